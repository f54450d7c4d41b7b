// The bootstrap of the system applications (see bs.h).
#include "dictionary/bs.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include "dictionary/dd2.h"
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

// A failure or a warning: one line on standard error, counted.
void say(int* count, const char* f, va_list ap) {
  char buf[1024];
  std::vsnprintf(buf, sizeof buf, f, ap);
  std::fflush(stdout);
  std::fprintf(stderr, "quvo: bootstrap: %s\n", buf);
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
    if (count_++ || std::fwrite(r.data(), 1, r.size(), f_) != r.size()) {
      *err = path_ + ": a single-record file takes one record";
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

// Copies the records of an open raw file into the open target; 1 at the
// end of the raw file, 0 after a fatal failure (reported).
int copy_recs(const std::string& path, FILE* rf, FmArb* t, uint8_t* buf, Block* b, bool stmt, BsCounts* c) {
  const int rlen = b->sum.rec_len;
  const bool var = b->sum.var != 0;
  auto write_rec = [&](int len, int ordinal) -> int {
    adjust_rec(buf, len, b->lay.data(), int(b->lay.size()));
    if (stmt && len >= int(sizeof(DStmt))) adjust_stmt(buf);
    PROTO_FULL(t, 0, buf);
    t->rec_len = uint16_t(var ? len : 0);
    if (!fm_write(t)) {
      if (t->status.get() == FM_ST_DUP_KEY) {
        std::printf("Already on file at record %d in %s\n", ordinal, path.c_str());
        ++c->warnings;
        return 1;
      }
      report(c, "%s: record %d: copy_recs() - bad native write, status %u", path.c_str(), ordinal,
             t->status.get());
      return 0;
    }
    ++c->records;
    return 1;
  };
  if (b->sum.org == FM_ORG_SINGLE) {
    size_t n = std::fread(buf, 1, size_t(rlen) + 1, rf);
    if (n == 0) return 1;
    if (int(n) > rlen) {
      report(c, "%s: copy_recs() - rec to long (the single record is longer than %d bytes)", path.c_str(), rlen);
      return 0;
    }
    if (int(n) < rlen && !var) {
      report(c, "%s: copy_recs() - bad rec read (the single record is cut short: %zu of %d bytes)", path.c_str(), n,
             rlen);
      return 0;
    }
    return write_rec(int(n), 1);
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
      report(c, "%s: record %d: the record header is cut short", path.c_str(), ordinal);
      return 0;
    }
    if (ordinal % 100 == 0) {
      std::fputc('.', stdout);
      std::fflush(stdout);
    }
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
    if (!write_rec(var ? int(len) : rlen, ordinal)) return 0;
  }
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
    std::printf("%s", path.c_str());
    std::fflush(stdout);
    // STMT records of the design dictionary carry occurrence words too.
    bool stmt = b->sum.name == "STMT    " && fdb->app == "0AD";
    ok = copy_recs(path, rf, t, buf, b, stmt, c);
    std::printf("\n");
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

int bs_bootstrap(BsCounts* c) {
  int before = c->failures;
  FmFdb sum, tgt;
  if (const char* ap = std::getenv("QUVO_BOOT_AP"); ap && *ap) {
    const char* ver = std::getenv("QUVO_BOOT_VER");
    summary_of(&sum, "0AD");
    dict_target(&tgt, ap, ver && *ver ? ver : "00");
    bs_load_init(&sum, c);
    if (bs_import(&sum, &tgt, c)) bs_bld_struct(&sum, &tgt, c);
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
    dict_target(&tgt, d.app, "00");
    if (std::strcmp(d.app, "0AD") == 0 && !bs_load_init(&sum, c)) continue;
    if (bs_import(&sum, &tgt, c)) bs_bld_struct(&sum, &tgt, c);
  }
  // The application data files.
  summary_of(&sum, "0LA");
  tgt = fm_fdb;
  INIT_LA_PATH(&tgt, "00", "        ", FM_PT_DATA);
  if (bs_load_init(&sum, c) && bs_import(&sum, &tgt, c)) bs_bld_struct(&sum, &tgt, c);
  summary_of(&sum, "0DB");
  bs_load_init(&sum, c);
  summary_of(&sum, "0SA");
  tgt = fm_fdb;
  INIT_SA_PATH(&tgt, "        ", FM_PT_DATA);
  if (bs_load_init(&sum, c) && bs_import(&sum, &tgt, c)) bs_bld_struct(&sum, &tgt, c);
  return c->failures == before;
}

// ---------------------------------------------------------------- run --
namespace {

void kill_point(const char* phase) {
  const char* k = os_test_hook("QUVO_TEST_BOOT_KILL");
  if (k && std::strcmp(k, phase) == 0) {
    std::fflush(stdout);
    ::kill(::getpid(), SIGKILL);
  }
}

// Temporary directories of runs that died: ".<name>.boot-<pid>" beside the
// target whose process is gone.
void remove_stale(const fs::path& target) {
  std::error_code ec;
  std::string prefix = "." + target.filename().string() + ".boot-";
  for (const auto& e : fs::directory_iterator(target.parent_path(), ec)) {
    std::string n = e.path().filename().string();
    if (n.compare(0, prefix.size(), prefix) != 0) continue;
    long pid = std::strtol(n.c_str() + prefix.size(), nullptr, 10);
    if (pid > 0 && pid != long(::getpid()) && ::kill(pid_t(pid), 0) == 0) continue;
    fs::remove_all(e.path(), ec);
  }
}

bool write_file(const fs::path& p, const std::string& text) {
  FILE* f = std::fopen(p.c_str(), "w");
  if (!f) return false;
  bool ok = std::fputs(text.c_str(), f) >= 0;
  ok = std::fflush(f) == 0 && ok;
  ok = ::fsync(fileno(f)) == 0 && ok;
  return std::fclose(f) == 0 && ok;
}

// Writes the SYSDIR entries of the files made (those of `only` when given:
// a dictionary's owner); entries already there stay.
int add_sysdir(const char* only, BsCounts* c) {
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
    for (const FmFdb& f : g_made) {
      if (only && !(f.src_app == std::string_view(only))) continue;
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

}  // namespace

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
  if (!fs::is_directory(target, ec)) {
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
  remove_stale(target);
  bool unfinished = fs::exists(target / kMarker, ec);
  // The system applications' files live under "data"; the keymap store is
  // the engine's mark of a bootstrapped directory.
  bool built = (fs::exists(target / "data", ec) || fs::exists(target / "keymaps", ec)) && !unfinished;
  fs::path app_dir = fs::path("data") / "dict" / (safe(trim(ap ? ap : "")) + safe(ver));
  if (add) {
    if (!built) {
      std::fprintf(stderr, "quvo: bootstrap: %s holds no system applications to add %s to (run quvo -b first)\n",
                   target.c_str(), ap);
      return kExitBootFailed;
    }
    if (fs::exists(target / app_dir, ec)) {
      std::fprintf(stderr, "quvo: bootstrap: %s already holds the dictionary of %s %s\n", target.c_str(), ap,
                   ver.c_str());
      return kExitBootFailed;
    }
  } else if (built) {
    std::fprintf(stderr,
                 "quvo: bootstrap: %s already holds the system applications; a new bootstrap would lose its "
                 "System Administration records (bootstrap an empty directory; QUVO_BOOT_AP adds one "
                 "application's dictionary)\n",
                 target.c_str());
    return kExitBootFailed;
  } else if (unfinished) {
    // The marker lists what the cut move had begun to put in.
    std::printf("bootstrap: %s was left unfinished; building it again\n", target.c_str());
    FILE* m = std::fopen((target / kMarker).c_str(), "r");
    char line[4096];
    for (int n = 0; m && std::fgets(line, sizeof line, m); ++n) {
      std::string e(line);
      while (!e.empty() && (e.back() == '\n' || e.back() == '\r')) e.pop_back();
      if (n == 0 || e.empty() || e.find('/') != std::string::npos || e == "." || e == "..") continue;
      fs::remove_all(target / e, ec);
    }
    if (m) std::fclose(m);
    fs::remove(target / kMarker, ec);
  }

  fs::path tmp = target.parent_path() / ("." + target.filename().string() + ".boot-" + std::to_string(::getpid()));
  fs::remove_all(tmp, ec);
  if (!fs::create_directory(tmp, ec)) {
    std::fprintf(stderr, "quvo: bootstrap: cannot create %s: %s\n", tmp.c_str(), ec.message().c_str());
    return kExitBootFailed;
  }
  std::printf("bootstrap: building in %s from %s\n", tmp.c_str(), g_root.c_str());
  std::fflush(stdout);
  setenv("QUVOPATH", tmp.c_str(), 1);
  if (!add) {
    std::string err;
    if (la_install_messages(&err)) {
      std::printf("messages: loaded into %s\n", target.c_str());
    } else {
      report(&c, "messages: %s", err.c_str());
    }
    std::string log, kdir = km_source_dir();
    int n = km_install(kdir, *km_dir_store(tmp.string()), &log, &err);
    std::fputs(log.c_str(), stdout);
    if (n < 0) report(&c, "keymaps: %s", err.c_str());
    else std::printf("keymaps: %d installed in %s/keymaps from %s\n", n, target.c_str(), kdir.c_str());
    std::fflush(stdout);
  }
  kill_point("build");
  bs_bootstrap(&c);
  if (!add) check_sysdir(&c);
  fm_shutdown();
  setenv("QUVOPATH", target.c_str(), 1);
  fms_init();

  if (c.failures == 0 && add) {
    fs::create_directories((target / app_dir).parent_path(), ec);
    if (!add_sysdir(std::string(ap).substr(0, 3).c_str(), &c)) {
    } else if (!fs::exists(tmp / app_dir, ec)) {
      report(&c, "no dictionary of %s was built (is the design SUMMARY empty?)", ap);
    } else {
      fs::rename(tmp / app_dir, target / app_dir, ec);
      if (ec) report(&c, "cannot move %s into %s: %s", (tmp / app_dir).c_str(), target.c_str(), ec.message().c_str());
    }
    fm_shutdown();
  } else if (c.failures == 0) {
    // The move: the marker (the temporary directory, then every entry to
    // move) makes a directory whose move was cut short recognisable.
    std::string list = tmp.string() + "\n";
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
      if (fs::exists(target / e.filename(), ec)) report(&c, "%s already holds %s", target.c_str(), e.filename().c_str());
    }
    if (c.failures == 0 && !write_file(target / kMarker, list)) report(&c, "cannot write %s", (target / kMarker).c_str());
    for (size_t i = 0; i < entries.size() && c.failures == 0; ++i) {
      fs::rename(entries[i], target / entries[i].filename(), ec);
      if (ec) report(&c, "cannot move %s into %s: %s", entries[i].c_str(), target.c_str(), ec.message().c_str());
      else kill_point("move");
    }
    // The emptied temporary directory goes before the marker, so that a run
    // killed after the marker is gone leaves nothing behind.
    if (c.failures == 0) {
      fs::remove_all(tmp, ec);
      fs::remove(target / kMarker, ec);
    }
  }
  fs::remove_all(tmp, ec);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (c.failures) {
    std::fprintf(stderr, "quvo: bootstrap failed: %d failure%s; %s is as it was\n", c.failures,
                 c.failures == 1 ? "" : "s", target.c_str());
    return kExitBootFailed;
  }
  std::printf("bootstrap: %d files, %d records, %d record images, %d warnings in %.2f s\n", c.files, c.records,
              c.images, c.warnings, secs);
  std::fflush(stdout);
  return kExitNormal;
}

void bs_register() { os_hooks.bootstrap = bs_main; }
