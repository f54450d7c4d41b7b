// The bootstrap of the system applications (see bs.h).
#include "dictionary/bs.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <tuple>
#include <vector>

#include "dictionary/dd2.h"
#include "files/dictenc.h"
#include "files/dictrec.h"
#include "files/fmcat.h"
#include "files/lafi.h"
#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "screen/km.h"

#ifndef QUVO_BOOT_DEFAULT
#define QUVO_BOOT_DEFAULT ""
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* kMarker = ".quvo-boot-unfinished";

std::string g_root;            // input root of this run
std::vector<FmFdb> g_made;     // files created by bs_import / bs_bld_struct
std::vector<std::string> g_made_from;  // the SUMMARY block of each: "path:line"

MmPool pool() { return mm_create_pool(" BS_POOL   ", 0, 0); }

std::string trim(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return std::string(s);
}

std::string safe(std::string s) {
  for (char& c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  return s;
}

// The details of a run (each raw file read, its progress dots, records
// already on file): the run's log while bs_main keeps one, else standard
// output.
FILE* g_log = nullptr;

void detail(const char* f, ...) __attribute__((format(printf, 1, 2)));
void detail(const char* f, ...) {
  va_list ap;
  va_start(ap, f);
  FILE* to = g_log ? g_log : stdout;
  std::vfprintf(to, f, ap);
  std::fflush(to);
  va_end(ap);
}

// A failure or a warning: one line on standard error (and in the log),
// counted.
void say(int* count, const char* f, va_list ap) {
  char buf[1024];
  std::vsnprintf(buf, sizeof buf, f, ap);
  std::fflush(stdout);
  std::fprintf(stderr, "quvo: bootstrap: %s\n", buf);
  if (g_log) std::fprintf(g_log, "%s\n", buf);
  ++*count;
}

void report(BsCounts* c, const char* f, ...) __attribute__((format(printf, 2, 3)));
void report(BsCounts* c, const char* f, ...) {
  va_list ap;
  va_start(ap, f);
  say(&c->failures, f, ap);
  va_end(ap);
}

void warn(BsCounts* c, const char* f, ...) __attribute__((format(printf, 2, 3)));
void warn(BsCounts* c, const char* f, ...) {
  va_list ap;
  va_start(ap, f);
  say(&c->warnings, f, ap);
  va_end(ap);
}

uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
void put32(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v); }

// The path of an input identity under the root.
std::string ident_path(const FmFdb* f) {
  return bs_input_path(bs_input_root(), std::string(f->src_app.view()).c_str(), f->path_type,
                       std::string(f->name.view()).c_str());
}

std::vector<BsLayout> layout_of(const SumBlock& b) {
  std::vector<BsLayout> lay;
  for (const SumField& f : b.fields)
    lay.push_back({uint16_t(f.type), uint16_t(f.offset), uint16_t(f.length), uint16_t(f.occurs)});
  return lay;
}

void fix_sign(uint8_t* p, bool to_raw) {
  uint8_t sign = *p & 0x0F;
  uint8_t out;
  if (to_raw) out = sign == (com.pd_neg & 0x0F) ? 0x0D : 0x0C;
  else out = sign == 0x0D ? uint8_t(com.pd_neg & 0x0F) : uint8_t(com.pd_pos & 0x0F);
  *p = uint8_t((*p & 0xF0) | out);
}

void adjust(uint8_t* rec, int len, const BsLayout* lay, int count, bool to_raw) {
  for (int i = 0; i < count; ++i) {
    const BsLayout& l = lay[i];
    if (l.type < 1 || l.type > 13) continue;
    for (int o = 0; o < l.occurs; ++o) {
      int at = l.offset + o * l.length;
      if (at + l.length > len || l.length == 0) break;
      uint8_t* p = rec + at;
      switch (l.type) {
        case 5:
          if (l.length == 2) std::swap(p[0], p[1]);
          else if (l.length == 4) std::swap(p[0], p[3]), std::swap(p[1], p[2]);
          break;
        case 6: case 7:
          for (int h = 0; h + 4 <= l.length && h < 8; h += 4) std::swap(p[h], p[h + 3]), std::swap(p[h + 1], p[h + 2]);
          break;
        case 8: case 9: case 10: fix_sign(p + l.length - 1, to_raw); break;
        case 12: if (l.length >= 2) fix_sign(p + l.length - 2, to_raw); break;
        default: break;
      }
    }
  }
}

// Verb codes and the offsets of their occurrence words.
void stmt_words(int verb, std::vector<int>* at) {
  static const int k88_118[] = {3, 4, 5, 9, 10, 11, 16, 18, 20, 23, 24, 25, 27, 28, 38, 41, 46, 48, 49, 50, 52, 56,
                                66, 69, 71, 72, 74, 78, 81, 82, 92, 93, 94, 95,
                                // CNV FLT and CNV ZONE carry two occurrence words like CNV BIN.
                                17, 19};
  static const int k88[] = {12, 13, 31, 55, 61, 62, 63, 65, 70, 75,
                            // VERIFY and GETATTR: one occurrence word at the start.
                            96, 97};
  for (int v : k88_118)
    if (v == verb) *at = {88, 118};
  for (int v : k88)
    if (v == verb) *at = {88};
  switch (verb) {
    case 6: case 30: *at = {100}; break;
    case 7: *at = {88, 92, 96, 100}; break;
    case 57: *at = {88, 118, 122, 126}; break;
    case 73: *at = {88, 92, 100, 104}; break;
    case 77: *at = {118}; break;
    case 98: case 100: *at = {116}; break;  // PUTATTR, MOVEATTR
    default: break;
  }
}

}  // namespace

// ------------------------------------------------------------- inputs --
std::string bs_input_root() {
  const char* s = std::getenv("QUVO_BOOT_SRC");
  return s && *s ? s : QUVO_BOOT_DEFAULT;
}

std::string bs_input_path(const std::string& root, const char* app, int kind, const char* name) {
  return root + (kind == FM_PT_PORT ? "/port" : "/data") + "/dict/" + safe(trim(app)) + "00/" + safe(trim(name));
}

// --------------------------------------------------------- byte order --
void adjust_rec(uint8_t* rec, int len, const BsLayout* lay, int count) { adjust(rec, len, lay, count, false); }
void adjust_rec_raw(uint8_t* rec, int len, const BsLayout* lay, int count) { adjust(rec, len, lay, count, true); }

void adjust_occ(uint8_t* w) {
  std::swap(w[2], w[3]);
  if (w[2] == 0 && w[3] == 0) std::swap(w[0], w[1]);
}

void adjust_stmt(uint8_t* stmt) {
  std::vector<int> at;
  stmt_words(rec::view<DStmt>(stmt).verb.get(), &at);
  for (int o : at) adjust_occ(stmt + o);
}

// ------------------------------------------------------------ RawWriter --
RawWriter::~RawWriter() {
  if (f_) std::fclose(f_);
}

bool RawWriter::open(const std::string& path, uint16_t flags, bool org1, std::string* err) {
  path_ = path;
  flags_ = flags;
  org1_ = org1;
  count_ = 0;
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  f_ = std::fopen(path.c_str(), "wb");
  if (!f_) {
    *err = path + ": " + std::strerror(errno);
    return false;
  }
  if (org1) return true;
  uint8_t h[kRawHead] = {};
  put16(h, flags);
  put16(h + 2, (flags & kRawShort) ? 1 : 0);
  if (flags & kRawCrc) put32(h + 508, uio_crc32c(h, 508));
  if (std::fwrite(h, 1, sizeof h, f_) != sizeof h) {
    *err = path + ": write failed";
    return false;
  }
  return true;
}

bool RawWriter::put(const uint8_t* rec, int len, const DictField* fields, int nfields, bool stmt, std::string* err) {
  std::vector<uint8_t> r(rec, rec + len);
  std::vector<BsLayout> lay;
  for (int i = 0; i < nfields; ++i)
    lay.push_back({fields[i].type, fields[i].offset, fields[i].width, fields[i].occurs});
  if (stmt && len >= int(sizeof(DStmt))) adjust_stmt(r.data());
  adjust(r.data(), len, lay.data(), int(lay.size()), true);
  if (org1_) {
    // The one record and the CRC-32C of its bytes.
    uint8_t t[kRawTrail];
    put32(t, uio_crc32c(r.data(), r.size()));
    if (count_++) {
      *err = path_ + ": a single-record file takes one record";
      return false;
    }
    if (std::fwrite(r.data(), 1, r.size(), f_) != r.size() || std::fwrite(t, 1, sizeof t, f_) != sizeof t) {
      *err = path_ + ": write failed";
      return false;
    }
    return true;
  }
  uint8_t h[kRawRecHead] = {};
  if (flags_ & kRawShort) {
    if (len > 0xFFFF) {
      *err = path_ + ": record too long for the short form";
      return false;
    }
    put16(h + 2, uint16_t(len));
  } else {
    put32(h + 4, uint32_t(len));
  }
  put32(h + 8, ++count_);
  uint8_t t[kRawTrail] = {};
  if (flags_ & kRawCrc) put32(t, uio_crc32c(r.data(), r.size(), uio_crc32c(h, sizeof h)));
  if (std::fwrite(h, 1, sizeof h, f_) != sizeof h || std::fwrite(r.data(), 1, r.size(), f_) != r.size() ||
      std::fwrite(t, 1, sizeof t, f_) != sizeof t) {
    *err = path_ + ": write failed";
    return false;
  }
  return true;
}

bool RawWriter::close(std::string* err) {
  if (!f_) return true;
  bool ok = true;
  if (!org1_) {
    uint8_t h[kRawRecHead] = {}, t[kRawTrail] = {};
    if (flags_ & kRawCrc) put32(t, uio_crc32c(h, sizeof h));
    ok = std::fwrite(h, 1, sizeof h, f_) == sizeof h && std::fwrite(t, 1, sizeof t, f_) == sizeof t;
  }
  ok = std::fclose(f_) == 0 && ok;
  f_ = nullptr;
  if (!ok) *err = path_ + ": write failed";
  return ok;
}

// ------------------------------------------------------------ copying --
namespace {

struct Block {
  SumBlock sum;
  std::vector<BsLayout> lay;
  FmKdb* kdb = nullptr;
  FmSdb* sdb = nullptr;
  ~Block() {
    if (kdb) mm_free(kdb);
    if (sdb) mm_free(sdb);
  }
};

// The descriptor of a block's file under the target identity.
void describe(Block* b, const FmFdb* target, FmFdb* fdb) {
  int nsegs = 0;
  for (const SumKey& k : b->sum.keys) nsegs += int(k.segs.size());
  b->kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * (b->sum.keys.size() + 1)));
  b->sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * size_t(nsegs + 1)));
  FmSdb* s = b->sdb;
  for (size_t k = 0; k < b->sum.keys.size(); ++k) {
    const SumKey& key = b->sum.keys[k];
    FmSdb* first = s;
    for (const SumSeg& g : key.segs) init_sdb_func(s++, g.field, g.offset, g.length, g.type, g.order);
    INIT_KDB(b->kdb + k, key.key_no, key.order, key.flags, first, int(key.segs.size()));
  }
  INIT_FDB(fdb, b->sum.ftype, b->sum.rec_len, b->sum.var, b->kdb, int(b->sum.keys.size()));
  fdb->org = uint8_t(b->sum.org);
  std::memcpy(fdb->app.data(), target->app.data(), FM_PATH_LEN - 4);
  fdb->name.set(b->sum.name);
}

bool target_takes(const FmFdb* target, const SumBlock& b) {
  return target->name.blank() || target->name.view() == std::string_view(b.name).substr(0, 8);
}

bool is_0ad_initial(const FmFdb* target, const SumBlock& b) {
  return b.name == "INITIAL " && target->app == "0AD" && target->src_app == "0AD";
}

constexpr uint32_t kCreateFill = FM_OPT_CREATE | FM_OPT_NO_SYSDIR | FM_OPT_NO_STRUCT;  // 6274's effect
constexpr uint32_t kCreateStruct = FM_OPT_CREATE | FM_OPT_NO_SYSDIR;                   // 2048's effect

// Reads the records of an open raw file and hands each live one to
// sink(buf, length, ordinal) in this engine's byte order; 1 at the end of the
// raw file, 0 after a fatal failure (reported). The sink returns 0 to stop.
template <class Sink>
int read_recs(const std::string& path, FILE* rf, uint8_t* buf, Block* b, bool stmt, BsCounts* c, Sink sink) {
  const int rlen = b->sum.rec_len;
  const bool var = b->sum.var != 0;
  auto give = [&](int len, int ordinal) -> int {
    adjust_rec(buf, len, b->lay.data(), int(b->lay.size()));
    if (stmt && len >= int(sizeof(DStmt))) adjust_stmt(buf);
    return sink(buf, len, ordinal);
  };
  if (b->sum.org == FM_ORG_SINGLE) {
    // One record image and the CRC-32C of its bytes: every byte is checked,
    // a cut anywhere (the trailer too) is seen.
    std::vector<uint8_t> all(size_t(rlen) + kRawTrail + 1);
    size_t n = std::fread(all.data(), 1, all.size(), rf);
    if (n == 0) return 1;
    if (n < size_t(kRawTrail) + 1) {
      report(c, "%s: copy_recs() - bad rec read (the single record is cut short: %zu bytes)", path.c_str(), n);
      return 0;
    }
    n -= kRawTrail;
    if (int(n) > rlen) {
      report(c, "%s: copy_recs() - rec to long (the single record is longer than %d bytes)", path.c_str(), rlen);
      return 0;
    }
    if (be32(all.data() + n) != uio_crc32c(all.data(), n)) {
      report(c, "%s: the single record's check sum does not match (damaged, or cut short)", path.c_str());
      return 0;
    }
    if (int(n) < rlen && !var) {
      report(c, "%s: copy_recs() - bad rec read (the single record is cut short: %zu of %d bytes)", path.c_str(), n,
             rlen);
      return 0;
    }
    std::memcpy(buf, all.data(), n);
    return give(int(n), 1);
  }
  uint8_t h[kRawHead];
  if (std::fread(h, 1, kRawHead, rf) != size_t(kRawHead)) {
    report(c, "%s: copy_recs() - bad fi hdr (cut short)", path.c_str());
    return 0;
  }
  const uint16_t flags = be16(h);
  const bool short_len = (flags & kRawShort) && be16(h + 2) != 0;
  const bool crc = flags & kRawCrc;
  if (crc && be32(h + 508) != uio_crc32c(h, 508)) {
    report(c, "%s: copy_recs() - bad fi hdr (its check sum does not match)", path.c_str());
    return 0;
  }
  for (int ordinal = 1;; ++ordinal) {
    uint8_t rh[kRawRecHead];
    size_t n = std::fread(rh, 1, kRawRecHead, rf);
    if (n == 0 && !crc) return 1;
    if (n != size_t(kRawRecHead)) {
      report(c, "%s: record %d: the record header is cut short%s", path.c_str(), ordinal,
             n == 0 ? " (the file ends without its end record)" : "");
      return 0;
    }
    if (ordinal % 100 == 0) detail(".");
    uint32_t len = short_len ? be16(rh + 2) : be32(rh + 4);
    uint8_t tr[kRawTrail];
    if (len == 0) {
      if (crc) {
        if (std::fread(tr, 1, kRawTrail, rf) != size_t(kRawTrail) || be32(tr) != uio_crc32c(rh, kRawRecHead)) {
          report(c, "%s: the end record is damaged", path.c_str());
          return 0;
        }
        if (std::fgetc(rf) != EOF) {
          report(c, "%s: bytes follow the end record", path.c_str());
          return 0;
        }
      }
      return 1;
    }
    const bool live = (rh[0] & 3) == 0;
    if (live && len > uint32_t(rlen)) {
      report(c, "%s: record %d: copy_recs() - rec to long (%u bytes, the file's records have %d)", path.c_str(),
             ordinal, len, rlen);
      return 0;
    }
    if (!live && len > FM_MAX_REC + 1u) {
      report(c, "%s: record %d: a record of %u bytes", path.c_str(), ordinal, len);
      return 0;
    }
    // A short fixed record takes its tail from the INITIAL image (converted
    // back to the raw order, as the record's own bytes are).
    if (live && !var && int(len) != rlen) {
      warn(c, "%s: record %d: copy_recs() - bad rec len (%u bytes of %d; the rest from the INITIAL image)",
           path.c_str(), ordinal, len, rlen);
      std::memcpy(buf, b->sum.init.data(), size_t(rlen));
    }
    std::vector<uint8_t> skip;
    uint8_t* into = buf;
    if (!live) {
      skip.resize(len);
      into = skip.data();
    }
    if (std::fread(into, 1, len, rf) != len) {
      report(c, "%s: record %d: copy_recs() - bad rec read (cut short)", path.c_str(), ordinal);
      return 0;
    }
    if (std::fread(tr, 1, kRawTrail, rf) != size_t(kRawTrail)) {
      report(c, "%s: record %d: copy_recs() - bad trail read (cut short)", path.c_str(), ordinal);
      return 0;
    }
    if (crc && be32(tr) != uio_crc32c(into, len, uio_crc32c(rh, kRawRecHead))) {
      report(c, "%s: record %d: its check sum does not match", path.c_str(), ordinal);
      return 0;
    }
    if (!live) continue;
    if (!give(var ? int(len) : rlen, ordinal)) return 0;
  }
}

// Copies the records of an open raw file into the open target; 1 at the
// end of the raw file, 0 after a fatal failure (reported).
int copy_recs(const std::string& path, FILE* rf, FmArb* t, uint8_t* buf, Block* b, bool stmt, BsCounts* c) {
  const bool var = b->sum.var != 0;
  return read_recs(path, rf, buf, b, stmt, c, [&](uint8_t* rec, int len, int ordinal) -> int {
    PROTO_FULL(t, 0, rec);
    t->rec_len = uint16_t(var ? len : 0);
    if (!fm_write(t)) {
      if (t->status.get() == FM_ST_DUP_KEY) {
        detail("Already on file at record %d in %s\n", ordinal, path.c_str());
        ++c->warnings;
        return 1;
      }
      report(c, "%s: record %d: copy_recs() - bad native write, status %u", path.c_str(), ordinal, t->status.get());
      return 0;
    }
    ++c->records;
    return 1;
  });
}

// Copies one raw file into a new native file; 0 after a reported failure.
int raw_to_native(const std::string& path, FmFdb* fdb, Block* b, BsCounts* c) {
  FILE* rf = std::fopen(path.c_str(), "rb");
  if (!rf) return 1;  // no raw file: the file stays empty
  int ok = 1;
  if (!FM_CREATE(fdb, com.depth, 0, kCreateFill, 0, 0)) {
    report(c, "%s: raw_to_native() - bad file create, status %u", fdb->name.str().c_str(), fdb->status.get());
    ok = 0;
  } else {
    FmArb* t = fdb->handle.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), size_t(b->sum.rec_len) + 1));
    detail("%s", path.c_str());
    // STMT records of the design dictionary carry occurrence words too.
    bool stmt = b->sum.name == "STMT    " && fdb->app == "0AD";
    ok = copy_recs(path, rf, t, buf, b, stmt, c);
    detail("\n");
    FM_CLOSE(t, FM_CL_KEEP);
    mm_free(buf);
    ++c->files;
  }
  std::fclose(rf);
  return ok;
}

// Walks the blocks of a SUMMARY; fn(block) returns 0 to stop.
template <class Fn>
int each_block(FmFdb* summary, BsCounts* c, Fn fn) {
  std::string path = ident_path(summary);
  SumReader r;
  if (!r.open(path)) {
    report(c, "%s", r.error().c_str());
    return 0;
  }
  for (;;) {
    Block b;
    int rc = r.next(&b.sum);
    if (rc == 0) return 1;
    if (rc < 0) {
      report(c, "%s", r.error().c_str());
      return 0;
    }
    b.lay = layout_of(b.sum);
    if (!fn(b)) return 0;
  }
}

// Replaces the INITIAL (1) or NULL (2) pieces of a file in the INITIAL file
// of app and version.
int upd_init(const char* app, const char* ver, const std::string& name, const std::vector<uint8_t>& img, int kind,
             BsCounts* c) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * FM_CAT_SDB_AREA));
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), sizeof(DInit)));
  auto* key = static_cast<uint8_t*>(MM_ALLOC(pool(), 16));
  auto* scb = static_cast<FmScbRange*>(MM_ALLOC(pool(), sizeof(FmScbRange)));
  int ok = 0;
  FmFdb f;
  INIT_DINIT_FDB(&f, kdb, sdb, app, ver);
  if (!FM_CREATE(&f, com.depth, 0, kCreateFill, 0, 0)) {
    report(c, "upd_init() - can't create INITIAL file of %s, status %u", app, f.status.get());
  } else {
    FmArb* a = f.handle.get();
    std::memset(key, ' ', 8);
    std::memcpy(key, name.data(), std::min<size_t>(8, name.size()));
    key[8] = uint8_t(kind);
    std::memset(static_cast<void*>(scb), 0, sizeof *scb);
    scb->head.type = FM_SCB_RANGE;
    scb->key_no = 0;
    scb->lo_len = 9;
    scb->hi_len = 9;
    scb->lo_key.set(key);
    scb->hi_key.set(key);
    FmArb* s = FM_ATTACH(a, &scb->head, com.depth);
    if (!s) {
      report(c, "Bad init attach, status %u", a->status.get());
    } else {
      bool del = fm_del_all(s) == 1;
      if (!del) report(c, "Bad init del_all, status %u", s->status.get());
      fm_detach(s);
      if (del) {
        ok = 1;
        DInit& r = rec::view<DInit>(buf);
        size_t at = 0;
        for (uint32_t seq = 1; at < img.size() && ok; ++seq) {
          size_t n = std::min<size_t>(DINIT_PIECE, img.size() - at);
          r.file.set(name);
          r.kind = uint8_t(kind);
          r.seq = seq;
          std::memcpy(r.data.data(), img.data() + at, n);
          PROTO_FULL(a, 0, buf);
          a->rec_len = uint16_t(DINIT_HEAD + n);
          if (!fm_write(a)) {
            report(c, "bad INIT file write, status %u", a->status.get());
            ok = 0;
          }
          at += n;
        }
        if (ok) ++c->images;
      }
    }
    FM_CLOSE(a, FM_CL_KEEP);
  }
  for (void* p : {static_cast<void*>(kdb), static_cast<void*>(sdb), static_cast<void*>(buf),
                  static_cast<void*>(key), static_cast<void*>(scb)})
    mm_free(p);
  return ok;
}

// Keeps the identity of a file made (its key areas go with the block).
void made(const FmFdb& fdb, FmFdb* summary, const Block& b) {
  g_made_from.push_back(ident_path(summary) + ":" + std::to_string(b.sum.line));
  FmFdb f = fdb;
  f.kdb.set(nullptr);
  f.key_count = 0;
  f.handle.set(nullptr);
  g_made.push_back(f);
}

// Every raw file beside a SUMMARY must be named by one of its blocks: one
// that is not shows a SUMMARY that lost blocks.
int check_raw_names(FmFdb* summary, const std::set<std::string>& names, BsCounts* c) {
  FmFdb raw = *summary;
  raw.path_type = FM_PT_PORT;
  raw.name.set("X");
  fs::path dir = fs::path(ident_path(&raw)).parent_path();
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return 1;
  int ok = 1;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    std::string n = e.path().filename().string();
    if (!names.count(n)) {
      report(c, "%s: no block of %s names this raw file (the SUMMARY text lost blocks?)", e.path().c_str(),
             ident_path(summary).c_str());
      ok = 0;
    }
  }
  return ok;
}

}  // namespace

// ------------------------------------------------------------- steps --
int bs_load_init(FmFdb* summary, BsCounts* c) {
  std::string app(summary->src_app.view());
  return each_block(summary, c, [&](Block& b) {
    adjust_rec(b.sum.init.data(), b.sum.rec_len, b.lay.data(), int(b.lay.size()));
    adjust_rec(b.sum.null.data(), b.sum.rec_len, b.lay.data(), int(b.lay.size()));
    return upd_init(app.c_str(), "00", b.sum.name, b.sum.init, 1, c) &&
           upd_init(app.c_str(), "00", b.sum.name, b.sum.null, 2, c);
  });
}

int bs_import(FmFdb* summary, FmFdb* target, BsCounts* c) {
  std::set<std::string> names;
  int ok = each_block(summary, c, [&](Block& b) {
    FmFdb probe = *summary;
    probe.path_type = FM_PT_PORT;
    probe.name.set(b.sum.name);
    names.insert(fs::path(ident_path(&probe)).filename().string());
    if (b.sum.b14 != 0 || b.sum.ftype != FM_CLASS_DISK || !target_takes(target, b.sum) ||
        is_0ad_initial(target, b.sum))
      return 1;
    FmFdb fdb;
    describe(&b, target, &fdb);
    int rc = raw_to_native(ident_path(&probe), &fdb, &b, c);
    if (rc) made(fdb, summary, b);
    return rc;
  });
  if (ok) ok = check_raw_names(summary, names, c);
  return ok;
}

int bs_bld_struct(FmFdb* summary, FmFdb* target, BsCounts* c) {
  return each_block(summary, c, [&](Block& b) {
    if (b.sum.b14 != 0 || b.sum.ftype != FM_CLASS_DISK || !target_takes(target, b.sum)) return 1;
    FmFdb fdb;
    describe(&b, target, &fdb);
    if (!FM_CREATE(&fdb, com.depth, 0, kCreateStruct, 0, 0)) {
      report(c, "%s: bs_bld_struct() - bad file create, status %u", fdb.name.str().c_str(), fdb.status.get());
      return 0;
    }
    FM_CLOSE(fdb.handle.get(), FM_CL_KEEP);
    made(fdb, summary, b);
    return 1;
  });
}

namespace {

void summary_of(FmFdb* f, const char* app) {
  *f = fm_fdb;
  INIT_SRC_PATH(f, app, "00", "SUMMARY ", FM_PT_DATA);
}

void dict_target(FmFdb* f, const char* app, const char* ver) {
  *f = fm_fdb;
  INIT_SRC_PATH(f, app, ver, "        ", FM_PT_DATA);
}

}  // namespace

namespace {

// Adds what one step made since (files, records) to the application's line.
void credit(BsCounts* c, const std::string& app, int files, int records) {
  BsAppCount* a = nullptr;
  for (BsAppCount& x : c->apps)
    if (x.app == app) a = &x;
  if (!a) a = &c->apps.emplace_back(BsAppCount{app, 0, 0});
  a->files += c->files - files;
  a->records += c->records - records;
}

}  // namespace

int bs_bootstrap(BsCounts* c) {
  int before = c->failures;
  FmFdb sum, tgt;
  int files = c->files, records = c->records;
  if (const char* ap = std::getenv("QUVO_BOOT_AP"); ap && *ap) {
    const char* ver = std::getenv("QUVO_BOOT_VER");
    summary_of(&sum, "0AD");
    dict_target(&tgt, ap, ver && *ver ? ver : "00");
    bs_load_init(&sum, c);
    if (bs_import(&sum, &tgt, c)) bs_bld_struct(&sum, &tgt, c);
    credit(c, ap, files, records);
    return c->failures == before;
  }
  // The design dictionaries, all from the one design SUMMARY.
  summary_of(&sum, "0AD");
  struct {
    const char* app;
    const char* skip;
  } dicts[] = {{"0AD", "NO_0AD"}, {"0LA", "NO_0LA"}, {"0DB", "NO_0DB"}, {"0SA", "NO_0SA"}};
  for (const auto& d : dicts) {
    if (c->failures != before) break;  // the next copies would fail alike: one report is enough
    if (std::getenv(d.skip)) continue;
    files = c->files, records = c->records;
    dict_target(&tgt, d.app, "00");
    if (std::strcmp(d.app, "0AD") == 0 && !bs_load_init(&sum, c)) continue;
    if (bs_import(&sum, &tgt, c)) bs_bld_struct(&sum, &tgt, c);
    credit(c, d.app, files, records);
  }
  // The application data files.
  files = c->files, records = c->records;
  summary_of(&sum, "0LA");
  tgt = fm_fdb;
  INIT_LA_PATH(&tgt, "00", "        ", FM_PT_DATA);
  if (bs_load_init(&sum, c) && bs_import(&sum, &tgt, c)) bs_bld_struct(&sum, &tgt, c);
  credit(c, "0LA", files, records);
  summary_of(&sum, "0DB");
  bs_load_init(&sum, c);
  files = c->files, records = c->records;
  summary_of(&sum, "0SA");
  tgt = fm_fdb;
  INIT_SA_PATH(&tgt, "        ", FM_PT_DATA);
  if (bs_load_init(&sum, c) && bs_import(&sum, &tgt, c)) bs_bld_struct(&sum, &tgt, c);
  credit(c, "0SA", files, records);
  return c->failures == before;
}

// ---------------------------------------------------------------- run --
namespace {

constexpr const char* kTmpPrefix = ".boot-";  // the temporary directory: ".boot-<pid>" in the data directory
constexpr const char* kLogName = "bootstrap.log";

void kill_point(const char* phase) {
  const char* k = os_test_hook("QUVO_TEST_BOOT_KILL");
  if (k && std::strcmp(k, phase) == 0) {
    std::fflush(stdout);
    ::kill(::getpid(), SIGKILL);
  }
}

std::string user_name(uid_t uid) {
  if (passwd* pw = ::getpwuid(uid); pw && pw->pw_name) return pw->pw_name;
  return std::to_string(uid);
}

// A directory (not a link to one) made by this user.
bool own_dir(const fs::path& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

bool exists_here(const fs::path& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

// The process id of a temporary directory's name, 0 when it is no such name.
long tmp_pid(const std::string& name) {
  size_t n = std::strlen(kTmpPrefix);
  if (name.compare(0, n, kTmpPrefix) != 0 || name.size() == n || name.size() > n + 10) return 0;
  for (size_t i = n; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
  return std::strtol(name.c_str() + n, nullptr, 10);
}

// Temporary directories of runs that died: ".boot-<pid>" in the data
// directory, made by this user, whose process is gone; `keep` (the one a
// trusted marker names) stays until its marker is dealt with.
void remove_stale(const fs::path& target, const std::string& keep) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(target, ec)) {
    std::string n = e.path().filename().string();
    long pid = tmp_pid(n);
    if (pid <= 0 || n == keep || !own_dir(e.path())) continue;
    if (pid == long(::getpid()) || ::kill(pid_t(pid), 0) == 0 || errno == EPERM) continue;
    fs::remove_all(e.path(), ec);
  }
}

// The marker of a move cut short: its first line names the temporary
// directory of the run that wrote it, the other lines the entries it was
// moving in. It is trusted only when this user wrote it (a regular file no
// one else may change) and the directory it names exists and is this
// user's: anything else (planted by another member, damaged) removes nothing.
struct Marker {
  bool present = false, trusted = false;
  bool finished = false;  // this user's marker of a move that ended: only the marker is left
  std::string why;  // why it is not trusted
  std::string tmp;
  std::vector<std::string> entries;
};

Marker read_marker(const fs::path& target) {
  Marker m;
  fs::path p = target / kMarker;
  if (!exists_here(p)) return m;
  m.present = true;
  int fd = uio_open(p.c_str(), O_RDONLY);
  if (fd < 0) {
    m.why = std::string("it cannot be read as a regular file: ") + std::strerror(errno);
    return m;
  }
  struct stat st;
  std::string text;
  if (::fstat(fd, &st) != 0) {
    m.why = std::strerror(errno);
  } else if (st.st_uid != ::geteuid()) {
    m.why = "it belongs to " + user_name(st.st_uid) + ", not to " + user_name(::geteuid());
  } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    m.why = "users other than its owner may change it";
  } else if (st.st_size > 65536) {
    m.why = "it is too long to be a marker";
  } else {
    text.resize(size_t(st.st_size));
    if (uio_pread(fd, text.data(), text.size(), 0) != ssize_t(text.size())) m.why = "it cannot be read";
  }
  uio_close(fd);
  if (!m.why.empty()) return m;
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t e = text.find('\n', at);
    if (e == std::string::npos) {
      m.why = "it is cut short";
      return m;
    }
    lines.push_back(text.substr(at, e - at));
    at = e + 1;
  }
  if (lines.empty() || tmp_pid(lines[0]) <= 0) {
    m.why = "it is damaged (no temporary directory on its first line)";
    return m;
  }
  m.tmp = lines[0];
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& e = lines[i];
    if (e.empty() || e.find('/') != std::string::npos || e == "." || e == ".." || e == kMarker ||
        tmp_pid(e) > 0) {
      m.why = "it is damaged (line " + std::to_string(i + 1) + ")";
      return m;
    }
    m.entries.push_back(e);
  }
  // A run still going (a second bootstrap started beside it) is moving in
  // what the marker lists: undoing it would take away its work.
  long pid = tmp_pid(m.tmp);
  if (pid == long(::getpid()) || ::kill(pid_t(pid), 0) == 0 || errno == EPERM) {
    m.why = "the run that wrote it (process " + std::to_string(pid) + ") is still running";
    return m;
  }
  if (!exists_here(target / m.tmp)) {
    // The run removes its emptied temporary directory once everything is
    // moved in, then the marker: killed between the two, it left a whole
    // directory. Every entry it lists in place, this user's and moved there
    // since the marker was (a move sets an entry's change time) says so;
    // entries older than the marker are not its run's.
    const timespec marked = st.st_ctim;
    bool all = !m.entries.empty();
    for (const std::string& e : m.entries) {
      struct stat es;
      all = all && ::lstat((target / e).c_str(), &es) == 0 && es.st_uid == ::geteuid() &&
            std::tie(es.st_ctim.tv_sec, es.st_ctim.tv_nsec) >= std::tie(marked.tv_sec, marked.tv_nsec);
    }
    m.finished = all;
  }
  if (!own_dir(target / m.tmp)) {
    m.why = "the temporary directory it names (" + m.tmp + ") is gone or not " + user_name(::geteuid()) + "'s";
    return m;
  }
  m.trusted = true;
  return m;
}

// Undoes the move a trusted marker records: what it moved in (an entry it
// lists that is no longer in its temporary directory, in the data directory
// and made by this user) goes, then the temporary directory and the marker.
void undo_marked(const fs::path& target, const Marker& m) {
  std::error_code ec;
  for (const std::string& e : m.entries) {
    if (exists_here(target / m.tmp / e)) continue;  // not moved in
    struct stat st;
    if (::lstat((target / e).c_str(), &st) != 0 || st.st_uid != ::geteuid()) continue;
    fs::remove_all(target / e, ec);
  }
  fs::remove_all(target / m.tmp, ec);
  fs::remove(target / kMarker, ec);
}

// Writes a new file of this user with the given mode (the file manager's
// create: a fresh name, no link followed, the directory's group).
bool put_file(const fs::path& p, const std::string& text, mode_t mode) {
  int fd = uio_create(p.c_str());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0 && uio_pwrite(fd, text.data(), text.size(), 0) == 0 && ::fsync(fd) == 0;
  uio_close(fd);
  if (!ok) ::unlink(p.c_str());
  return ok;
}

// Moves an entry into place; with `replace` false a name that is taken
// stays as it is (EEXIST).
int move_in(const fs::path& from, const fs::path& to, bool replace) {
  unsigned flags = replace ? 0 : RENAME_NOREPLACE;
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) == 0 ? 0 : errno;
}

// Gives every entry below dir the data directory's group (the engine's
// group shares it): a file made in the temporary directory takes its group
// already; this mends one the system gave another.
void take_group(const fs::path& dir, gid_t gid, BsCounts* c) {
  std::error_code ec;
  int refused = 0;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0 || st.st_gid == gid) continue;
    if (::lchown(it->path().c_str(), uid_t(-1), gid) != 0) ++refused;
  }
  if (refused)
    warn(c, "%d entries keep another group than the data directory's (%s is no member of it)", refused,
         user_name(::geteuid()).c_str());
}

// Writes the SYSDIR entries of the files made (those of `only` when given:
// a dictionary's owner) and of `more`; entries already there stay.
int add_sysdir(const char* only, const std::vector<FmFdb>& more, BsCounts* c) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * FM_CAT_SDB_AREA));
  auto* buf = static_cast<FmSysdirRec*>(MM_ALLOC(pool(), sizeof(FmSysdirRec)));
  int ok = 1;
  FmFdb sd;
  INIT_DSYSDIR_FDB(&sd, kdb, sdb);
  if (!FM_CREATE(&sd, com.depth, 0, FM_OPT_CREATE | FM_OPT_NO_SYSDIR, 0, 0)) {
    report(c, "SYSDIR of 0SA cannot be opened, status %u", sd.status.get());
    ok = 0;
  } else {
    FmArb* a = sd.handle.get();
    std::vector<FmFdb> all;
    for (const FmFdb& f : g_made)
      if (!only || f.src_app == std::string_view(only)) all.push_back(f);
    all.insert(all.end(), more.begin(), more.end());
    for (const FmFdb& f : all) {
      fm_cat_sysdir_entry(&f, buf);
      PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(buf));
      if (!fm_write(a) && a->status.get() != FM_ST_DUP_KEY) {
        report(c, "SYSDIR write failed, status %u", a->status.get());
        ok = 0;
        break;
      }
    }
    FM_CLOSE(a, 0);
  }
  mm_free(buf);
  mm_free(sdb);
  mm_free(kdb);
  return ok;
}

// The files made that have no SYSDIR entry (the ordinary open would refuse
// them with 200490). When the inputs give SYSDIR entries (the system
// applications' do), such a file is a failure: its SUMMARY block names a file
// the inputs do not list (a damaged name, say), and the one they list is
// missing. Inputs without SYSDIR (tests of single files) are only warned of.
void check_sysdir(BsCounts* c) {
  bool listed = false;
  for (const FmFdb& f : g_made) listed = listed || f.name == "SYSDIR  ";
  std::set<std::string> seen;  // a file is made by its import and its structure step
  for (size_t i = 0; i < g_made.size(); ++i) {
    FmFdb f = g_made[i];
    if (!seen.insert(ident_path(&f)).second) continue;
    if (FM_OPEN(&f, com.depth, FM_OPT_NO_STRUCT, 1, 15)) {
      FM_CLOSE(f.handle.get(), 0);
    } else if (f.status.get() == FM_ST_NO_SYSDIR) {
      std::string app = f.app == "0AD" ? f.src_app.str() : f.app.str();
      if (listed)
        report(c, "%s: %s of %s has no SYSDIR entry: the inputs do not list that file", g_made_from[i].c_str(),
               f.name.str().c_str(), app.c_str());
      else
        warn(c, "%s of %s has no SYSDIR entry", f.name.str().c_str(), app.c_str());
    }
  }
}

// ------------------------------------------------------ registration --
// An application added with QUVO_BOOT_AP registers itself: the generator
// writes its APPL record and, per database it belongs to, the DATABASE and
// DBXAP records as raw files (bs_register_path); here they are read, checked
// like every other input, and written into System Administration.
struct Registration {
  std::vector<std::vector<uint8_t>> appl, database, dbxap;
};

int read_registration(const std::string& app, Registration* out, BsCounts* c) {
  struct {
    const char* file;
    std::vector<std::vector<uint8_t>>* into;
  } parts[] = {{"APPL", &out->appl}, {"DATABASE", &out->database}, {"DBXAP", &out->dbxap}};
  int ok = 1;
  for (auto& part : parts) {
    std::string path = bs_register_path(g_root, app.c_str(), part.file);
    FILE* rf = std::fopen(path.c_str(), "rb");
    if (!rf) continue;
    std::string padded = part.file;
    padded.resize(8, ' ');
    const DictRecDesc* d = dict_rec_find(padded.c_str());
    Block b;
    b.sum.rec_len = d->size;
    b.sum.var = 0;
    b.sum.org = FM_ORG_KEYED;
    b.sum.init.assign(d->size, ' ');
    dict_image(*d, 1, b.sum.init.data());
    for (int i = 0; i < d->count; ++i)
      b.lay.push_back({d->fields[i].type, d->fields[i].offset, d->fields[i].width, d->fields[i].occurs});
    std::vector<uint8_t> buf(size_t(d->size) + 1);
    detail("%s\n", path.c_str());
    ok = read_recs(path, rf, buf.data(), &b, false, c, [&](uint8_t* rec, int len, int) {
           part.into->emplace_back(rec, rec + len);
           return 1;
         }) && ok;
    std::fclose(rf);
  }
  return ok;
}

// Writes one record by its key: `replace` rewrites a record that is there,
// else it stays (a site's database, the phase of a DBXAP). 1, or 0 after a
// reported failure.
int put_by_key(FmArb* a, const std::vector<uint8_t>& rec, bool replace, const char* what, BsCounts* c) {
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), rec.size()));
  std::memcpy(buf, rec.data(), rec.size());
  PROTO_FULL(a, 0, buf);
  a->op = FM_OP_EQUAL | FM_OP_HOLD;
  int ok = 0;
  if (fm_read(a)) {
    if (!replace) {
      ok = fm_release(a);
    } else {
      std::memcpy(buf, rec.data(), rec.size());
      a->op = 0;
      ok = fm_rewrite(a);
    }
  } else {
    std::memcpy(buf, rec.data(), rec.size());
    PROTO_FULL(a, 0, buf);
    a->op = 0;
    ok = fm_write(a);
  }
  if (!ok) report(c, "%s: write failed, status %u", what, a->status.get());
  mm_free(buf);
  return ok;
}

// The records of the registration into System Administration: the APPL
// record (the version of this add, the dictionary's stamp now: every
// compiled reference to it is checked again), a DATABASE record for a
// database not there yet, a DBXAP record where there is none (a site's
// phase stays).
int write_registration(const std::string& app, const std::string& ver, Registration& r, BsCounts* c) {
  struct Part {
    void (*init)(FmFdb*, FmKdb*, FmSdb*);
    std::vector<std::vector<uint8_t>>* recs;
    bool replace;
    const char* what;
  } parts[] = {{INIT_DAP_FDB, &r.appl, true, "APPL"},
               {INIT_DDB_FDB, &r.database, false, "DATABASE"},
               {INIT_DDBXAP_FDB, &r.dbxap, false, "DBXAP"}};
  uint8_t now[8];
  {
    auto t = std::chrono::system_clock::now().time_since_epoch();
    int64_t hs = std::chrono::duration_cast<std::chrono::milliseconds>(t).count() / 10;
    int32_t day = int32_t(hs / 8640000) + 719163;  // day 1 = 0001-01-01
    rec::view<rec::I32>(now).set(day);
    rec::view<rec::U32>(now + 4).set(uint32_t(hs % 8640000));
  }
  int ok = 1;
  for (Part& p : parts) {
    if (p.recs->empty()) continue;
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * FM_CAT_SDB_AREA));
    FmFdb f;
    p.init(&f, kdb, sdb);
    if (!FM_OPEN(&f, com.depth, 0, 15, 15)) {
      report(c, "%s of 0SA cannot be opened, status %u", p.what, f.status.get());
      ok = 0;
    } else {
      for (std::vector<uint8_t>& rec : *p.recs) {
        if (p.recs == &r.appl) {
          DAppl& a = rec::view<DAppl>(rec.data());
          a.ver.set(ver);
          std::memcpy(a.stamp.b, now, 8);
        } else if (p.recs == &r.database) {
          rec::view<DDatabase>(rec.data()).ver.set(ver);
        }
        std::string what = std::string(p.what) + " record of " + app;
        if (!put_by_key(f.handle.get(), rec, p.replace, what.c_str(), c)) ok = 0;
      }
      FM_CLOSE(f.handle.get(), 0);
    }
    mm_free(sdb);
    mm_free(kdb);
  }
  return ok;
}

// The databases an application is registered in.
std::vector<std::string> databases_of(const Registration& r) {
  std::vector<std::string> out;
  for (const auto& rec : r.dbxap) out.push_back(trim(rec::view<DDbxap>(rec.data()).db.view()));
  return out;
}

// The databases the data directory has the application registered in (its
// DBXAP records): one the new sources no longer name keeps its record (a
// site's), so its data files are checked as well.
std::vector<std::string> registered_dbs(const std::string& app) {
  std::vector<std::string> out;
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * FM_CAT_SDB_AREA));
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), FM_MAX_REC));
  FmFdb f;
  INIT_DDBXAP_FDB(&f, kdb, sdb);
  if (FM_OPEN(&f, com.depth, 0, 1, 15)) {
    FmArb* a = f.handle.get();
    a->key_no = 0;
    a->op = FM_OP_FIRST;
    fm_start(a);
    a->rec.set(buf);
    a->rec_len = FM_MAX_REC;
    a->op = 0;
    while (fm_rdnxt(a))
      if (a->len_read >= sizeof(DDbxap) && trim(rec::view<DDbxap>(buf).app.view()) == app)
        out.push_back(trim(rec::view<DDbxap>(buf).db.view()));
    a->rec.reset();
    FM_CLOSE(a, 0);
  }
  mm_free(buf);
  mm_free(sdb);
  mm_free(kdb);
  return out;
}

// The data files of the application in its databases: a file there whose
// layout is not the new definition's is refused by name (restructure, which
// would convert it, is not built). `sysdir` gets the identities of every
// data file the new definition has, for their SYSDIR entries.
int check_data_files(const std::string& app, const std::string& ver, const std::vector<std::string>& dbs,
                     std::vector<FmFdb>* sysdir, BsCounts* c) {
  FmFdb sum;
  summary_of(&sum, app.c_str());
  if (!exists_here(ident_path(&sum))) return 1;  // an application without files
  return each_block(&sum, c, [&](Block& b) {
    if (b.sum.b14 != 0 || b.sum.ftype != FM_CLASS_DISK) return 1;
    for (const std::string& db : dbs) {
      FmFdb tgt = fm_fdb, fdb;
      INIT_DB_PATH(&tgt, db.c_str(), app.c_str(), ver.c_str(), "        ", FM_PT_DATA);
      describe(&b, &tgt, &fdb);
      FmFdb probe = fdb;
      probe.kdb.set(nullptr);
      probe.key_count = 0;
      sysdir->push_back(probe);
      std::string path;
      fdb.options = FM_OPT_NO_SYSDIR;
      if (!fm_os_path(&fdb, &path) || !exists_here(path)) continue;
      const int rec_len = fdb.rec_len, var = fdb.var;
      bool same = FM_OPEN(&fdb, com.depth, FM_OPT_NO_SYSDIR, 1, 15) != 0;
      if (same) {
        same = fdb.rec_len == rec_len && (fdb.var != 0) == (var != 0);
        FM_CLOSE(fdb.handle.get(), 0);
      } else if (fdb.status.get() != FM_ST_STRUCT) {
        report(c, "data file %s of %s in database %s (%s) cannot be opened to compare its layout, status %u",
               trim(b.sum.name).c_str(), app.c_str(), db.c_str(), path.c_str(), fdb.status.get());
        return 0;
      }
      if (!same) {
        report(c,
               "data file %s of %s in database %s (%s) has another layout than the new definition: restructure, "
               "which would convert its records, is not built yet; keep the old definition, or remove the file "
               "(its records are lost)",
               trim(b.sum.name).c_str(), app.c_str(), db.c_str(), path.c_str());
        return 0;
      }
    }
    return 1;
  });
}

// The saved modules and debug files of an application's dictionary that is
// replaced: moved into the temporary directory (and gone with it), so that
// no module compiled from the old dictionary runs.
void drop_modules(const fs::path& target, const fs::path& tmp, const std::string& appver, BsCounts* c) {
  std::error_code ec;
  int n = 0;
  for (const char* kind : {"mod", "dbg"}) {
    std::vector<fs::path> found;
    fs::path top = target / kind;
    if (!own_dir(top) && !fs::is_directory(fs::symlink_status(top, ec))) continue;
    if (exists_here(top / appver)) found.push_back(top / appver);
    for (const auto& e : fs::directory_iterator(top, ec))
      if (fs::is_directory(fs::symlink_status(e.path(), ec)) && exists_here(e.path() / appver))
        found.push_back(e.path() / appver);
    for (const fs::path& p : found) {
      fs::path away = tmp / ("old-" + std::string(kind) + std::to_string(++n));
      if (int e = move_in(p, away, false))
        warn(c, "the saved modules in %s cannot be removed: %s", p.c_str(), std::strerror(e));
    }
  }
}

}  // namespace

std::string bs_register_path(const std::string& root, const char* app, const char* file) {
  return root + "/port/register/" + safe(trim(app)) + "/" + safe(trim(file));
}

int bs_main() {
  auto t0 = std::chrono::steady_clock::now();
  BsCounts c;
  g_root = bs_input_root();
  g_made.clear();
  g_made_from.clear();
  std::string dd = os_data_dir();
  if (dd.empty()) {
    std::fprintf(stderr, "quvo: bootstrap: QUVOPATH is not set: the data directory is unknown\n");
    return kExitNoDataDir;
  }
  std::error_code ec;
  fs::path target = fs::absolute(fs::path(dd), ec).lexically_normal();
  if (!target.has_filename()) target = target.parent_path();
  const char* ap = std::getenv("QUVO_BOOT_AP");
  bool add = ap && *ap;
  std::string ver = std::getenv("QUVO_BOOT_VER") && *std::getenv("QUVO_BOOT_VER") ? std::getenv("QUVO_BOOT_VER") : "00";
  struct stat ts;
  if (::stat(target.c_str(), &ts) != 0 || !S_ISDIR(ts.st_mode)) {
    std::fprintf(stderr, "quvo: bootstrap: %s is not a directory (create it with mkdir -p)\n", target.c_str());
    return kExitNoDataDir;
  }
  if (!fs::is_directory(g_root, ec)) {
    std::fprintf(stderr, "quvo: bootstrap: no inputs in %s (build the project, or set QUVO_BOOT_SRC)\n",
                 g_root.c_str());
    return kExitBootFailed;
  }
  if (::access(target.c_str(), W_OK | X_OK) != 0) {
    std::fprintf(stderr, "quvo: bootstrap: the data directory %s cannot be written: %s\n", target.c_str(),
                 std::strerror(errno));
    return kExitBootFailed;
  }
  // quvo.env is read only when it is root's or the data directory's owner's:
  // one another member's run made would stop every engine.
  const bool owner = ::geteuid() == 0 || ::geteuid() == ts.st_uid;
  Marker marker = read_marker(target);
  remove_stale(target, marker.trusted ? marker.tmp : "");
  if (marker.finished) {
    fs::remove(target / kMarker, ec);
    std::printf("bootstrap: %s was finished by a run cut short before it could say so; its marker is removed\n",
                target.c_str());
    if (!add) return 0;
  }
  if (marker.present && !marker.trusted && !marker.finished)
    warn(&c, "%s is left alone: %s", (target / kMarker).c_str(), marker.why.c_str());
  // The system applications' files live under "data"; the keymap store is
  // the engine's mark of a bootstrapped directory.
  bool built = (exists_here(target / "data") || exists_here(target / "keymaps")) && !marker.trusted;
  std::string app = trim(ap ? ap : "");
  fs::path app_dir = fs::path("data") / "dict" / (safe(app) + safe(ver));
  bool again = false;  // adding an application that is there: its dictionary is replaced
  if (add) {
    bool id = !app.empty() && app.size() <= 3;
    for (char ch : app) id = id && (std::isupper(static_cast<unsigned char>(ch)) || std::isdigit(static_cast<unsigned char>(ch)));
    if (!id || app == "0AD" || app == "0LA" || app == "0DB" || app == "0SA") {
      std::fprintf(stderr,
                   "quvo: bootstrap: QUVO_BOOT_AP=%s: %s\n", ap,
                   id ? "a system application is built by the bootstrap of an empty directory, not added"
                      : "an application id is one to three upper-case letters or digits");
      return kExitBootFailed;
    }
    if (!built) {
      std::fprintf(stderr, "quvo: bootstrap: %s holds no system applications to add %s to (run quvo -b first)\n",
                   target.c_str(), ap);
      return kExitBootFailed;
    }
    again = exists_here(target / app_dir);
  } else if (built) {
    std::fprintf(stderr,
                 "quvo: bootstrap: %s already holds the system applications; a new bootstrap would lose its "
                 "System Administration records (bootstrap an empty directory; QUVO_BOOT_AP adds one "
                 "application's dictionary)\n",
                 target.c_str());
    if (marker.present && !marker.trusted)
      std::fprintf(stderr,
                   "quvo: bootstrap: if a bootstrap of yours was cut short there, remove what it moved in and %s "
                   "by hand: its marker cannot be trusted, so nothing was removed\n",
                   (target / kMarker).c_str());
    return kExitBootFailed;
  } else if (marker.trusted) {
    std::printf("bootstrap: %s was left unfinished; building it again\n", target.c_str());
    undo_marked(target, marker);
  }

  // The temporary directory: inside the data directory (so it needs no
  // right on the parent and its entries take the data directory's group),
  // reachable by this user only while it is built.
  fs::path tmp = target / (kTmpPrefix + std::to_string(::getpid()));
  fs::remove_all(tmp, ec);
  if (int e = uio_mkdir(tmp.c_str())) {
    std::fprintf(stderr, "quvo: bootstrap: cannot create %s: %s\n", tmp.c_str(), std::strerror(e));
    return kExitBootFailed;
  }
  // Through the directory just made (never a link put in its place).
  if (int fd = uio_open(tmp.c_str(), O_RDONLY | O_DIRECTORY); fd >= 0) {
    (void)::fchmod(fd, 02700);
    uio_close(fd);
  }
  {
    fs::path lp = tmp / kLogName;
    if (put_file(lp, "", 0644)) g_log = std::fopen(lp.c_str(), "a");
  }
  detail("bootstrap: building in %s from %s\n", tmp.c_str(), g_root.c_str());
  setenv("QUVOPATH", tmp.c_str(), 1);
  int keymaps = 0;
  if (!add) {
    std::string err;
    if (la_install_messages(&err)) detail("messages: loaded into %s\n", target.c_str());
    else report(&c, "messages: %s", err.c_str());
    std::string log, kdir = km_source_dir();
    keymaps = km_install(kdir, *km_dir_store(tmp.string()), &log, &err);
    detail("%s", log.c_str());
    if (keymaps < 0) report(&c, "keymaps: %s", err.c_str());
    else detail("keymaps: %d installed in %s/keymaps from %s\n", keymaps, target.c_str(), kdir.c_str());
    // The data directory's settings: the name is taken, empty, by its owner,
    // so no member of the group can put settings there for every user.
    if (owner && !exists_here(target / "quvo.env") && !put_file(tmp / "quvo.env", "", 0644))
      report(&c, "cannot create %s: %s", (tmp / "quvo.env").c_str(), std::strerror(errno));
    // The print script every report's print file goes to (QUVO_PRT_SCRIPT
    // names another), the owner's, run by the group; and the directories it
    // holds reports in, the owner's too (3770: a member removes only the
    // reports of their own).
    {
      std::string src = std::string(QUVO_SOURCE_DIR) + "/data/quvo_print", text;
      if (FILE* f = std::fopen(src.c_str(), "rb")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        std::fclose(f);
      }
      if (text.empty() || !put_file(tmp / "quvo_print", text, 0750))
        report(&c, "cannot install the print script %s: %s", src.c_str(), std::strerror(errno));
      for (const char* d : {"print", "print/hold"})
        if (int e = uio_mkdir((tmp / d).c_str()))
          report(&c, "cannot create %s: %s", (tmp / d).c_str(), std::strerror(e));
      // Its log, the owner's too, which every member appends to: the name
      // is taken, so no one can plant a link there for others to write
      // through.
      if (!put_file(tmp / "print/quvo_print.log", "", 0660))
        report(&c, "cannot create %s: %s", (tmp / "print/quvo_print.log").c_str(), std::strerror(errno));
    }
    // The saved modules' directories are the owner's: made by the member
    // who first runs a process, they would let that member rename what
    // every other user saves below them.
    for (const char* d : {"mod", "dbg"})
      for (const char* sub : {"", "0AD00", "0LA00", "0DB00", "0SA00"})
        if (int e = uio_mkdir((tmp / d / sub).c_str()))
          report(&c, "cannot create %s: %s", (tmp / d / sub).c_str(), std::strerror(e));
  }
  kill_point("build");
  bs_bootstrap(&c);
  if (!add) check_sysdir(&c);
  fm_shutdown();
  setenv("QUVOPATH", target.c_str(), 1);
  fms_init();
  take_group(tmp, ts.st_gid, &c);

  bool changed = false;  // the data directory is not as it was
  bool marked = false;   // the marker of the move is in place
  std::vector<std::string> dbs;
  if (c.failures == 0 && add) {
    Registration reg;
    std::vector<FmFdb> data_files;
    if (read_registration(app, &reg, &c)) {
      dbs = databases_of(reg);
      std::vector<std::string> check = dbs;
      for (const std::string& db : registered_dbs(app))
        if (std::find(check.begin(), check.end(), db) == check.end()) check.push_back(db);
      check_data_files(app, ver, check, &data_files, &c);
    }
    if (c.failures == 0 && !exists_here(tmp / app_dir))
      report(&c, "no dictionary of %s was built (is the design SUMMARY empty?)", ap);
    if (c.failures == 0) {
      // data/dict as the file manager makes directories (mode, group)
      fs::path dir = target;
      for (const fs::path& part : app_dir.parent_path()) {
        dir /= part;
        if (int e = uio_mkdir(dir.c_str()); e && e != EEXIST)
          report(&c, "cannot create %s: %s", dir.c_str(), std::strerror(e));
      }
      if (again) {
        // One exchange: the engine sees the old dictionary or the new.
        if (::renameat2(AT_FDCWD, (tmp / app_dir).c_str(), AT_FDCWD, (target / app_dir).c_str(),
                        RENAME_EXCHANGE) != 0)
          report(&c, "cannot replace %s: %s", (target / app_dir).c_str(), std::strerror(errno));
        else
          drop_modules(target, tmp, safe(app) + safe(ver), &c);
      } else if (int e = move_in(tmp / app_dir, target / app_dir, false)) {
        report(&c, "cannot move %s into %s: %s", (tmp / app_dir).c_str(), target.c_str(), std::strerror(e));
      }
      changed = c.failures == 0;
      // Its saved modules' directories are made by whoever adds it, not by
      // the member who first runs one of its processes.
      for (const char* kind : {"mod", "dbg"})
        if (changed && own_dir(target / kind)) uio_mkdir((target / kind / (safe(app) + safe(ver))).c_str());
    }
    if (c.failures == 0) add_sysdir(app.substr(0, 3).c_str(), data_files, &c);
    if (c.failures == 0) write_registration(app, ver, reg, &c);
    if (c.failures == 0 && owner && !exists_here(target / "quvo.env") && put_file(tmp / "quvo.env", "", 0644))
      move_in(tmp / "quvo.env", target / "quvo.env", false);
    fm_shutdown();
  } else if (c.failures == 0) {
    // The move: the marker (the temporary directory, then every entry to
    // move) makes a directory whose move was cut short recognisable.
    std::string list = tmp.filename().string() + "\n";
    // The keymap store goes last: the engine takes it as the mark of a
    // bootstrapped directory.
    std::vector<fs::path> entries;
    for (const auto& e : fs::directory_iterator(tmp, ec)) entries.push_back(e.path());
    std::sort(entries.begin(), entries.end(), [](const fs::path& a, const fs::path& b) {
      bool ka = a.filename() == "keymaps", kb = b.filename() == "keymaps";
      return ka != kb ? kb : a < b;
    });
    for (const fs::path& e : entries) {
      list += e.filename().string() + "\n";
      if (e.filename() != kLogName && exists_here(target / e.filename()))
        report(&c, "%s already holds %s", target.c_str(), e.filename().c_str());
    }
    if (g_log) std::fclose(g_log), g_log = nullptr;
    fs::path mark = tmp / kMarker;
    if (c.failures == 0 && (!put_file(mark, list, 0600) || move_in(mark, target / kMarker, true) != 0))
      report(&c, "cannot write %s: %s", (target / kMarker).c_str(), std::strerror(errno));
    marked = c.failures == 0;
    for (size_t i = 0; i < entries.size() && c.failures == 0; ++i) {
      bool log = entries[i].filename() == kLogName;
      int e = move_in(entries[i], target / entries[i].filename(), log);
      if (const char* f = os_test_hook("QUVO_TEST_BOOT_FAIL"); !e && i == 1 && f && std::strcmp(f, "move") == 0)
        e = EIO;
      if (e)
        report(&c, "cannot move %s into %s: %s", entries[i].c_str(), target.c_str(), std::strerror(e));
      else
        kill_point("move"), changed = true;
    }
    // The emptied temporary directory goes before the marker, so that a run
    // killed after the marker is gone leaves nothing behind.
    if (c.failures == 0) {
      fs::remove_all(tmp, ec);
      kill_point("moved");
      fs::remove(target / kMarker, ec);
    }
  }
  if (g_log) {
    std::fclose(g_log);
    g_log = nullptr;
    if (c.failures == 0) move_in(tmp / kLogName, target / kLogName, true);
  }
  // A move that failed keeps what it did not move beside its marker: the
  // next run trusts the marker and undoes the move.
  if (!(marked && c.failures)) fs::remove_all(tmp, ec);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (c.failures) {
    std::fprintf(stderr, "quvo: bootstrap failed: %d failure%s; %s %s\n", c.failures, c.failures == 1 ? "" : "s",
                 target.c_str(),
                 changed ? "was changed: run the same bootstrap again once the failure is mended" : "is as it was");
    return kExitBootFailed;
  }
  for (const BsAppCount& a : c.apps)
    std::printf("bootstrap: %-3s %4d files %7d records\n", a.app.c_str(), a.files, a.records);
  std::string next;
  if (add)
    next = std::string("run a process of it: ") + os_prog() + " -d " + (dbs.empty() ? "DB" : dbs[0]) + " -a " + app +
           (ver == "00" ? "" : " -v " + ver) + " -t TYPE -p NAME";
  else
    next = std::string("add an application of your own with QUVO_BOOT_AP (README: \"Your first application\")");
  std::printf("bootstrap: %s %s: %d files, %d records%s, %d warning%s in %.2f s (details in %s)\nnext: %s\n",
              add ? (again ? "replaced" : "added") : "built", add ? app.c_str() : "the system applications", c.files,
              c.records, add ? "" : (", " + std::to_string(keymaps) + " keymaps").c_str(), c.warnings,
              c.warnings == 1 ? "" : "s", secs, (target / kLogName).c_str(), next.c_str());
  std::fflush(stdout);
  return kExitNormal;
}

void bs_register() { os_hooks.bootstrap = bs_main; }
