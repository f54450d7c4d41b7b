// The SUMMARY text: bld_sum_fi and its reader (see dd2.h).
#include "dictionary/dd2.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dictionary/bs.h"
#include "files/fmcat.h"
#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/mm.h"

namespace {

// Scratch blocks of the summary (found or created at the base scope).
MmPool pool() { return mm_create_pool(" DD2_POOL  ", 0, 0); }

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

std::string pad(std::string_view s, size_t n) {
  std::string o(s.substr(0, n));
  o.resize(n, ' ');
  return o;
}

// A digit for FILE bytes 14 and 18 (the reader takes them back as numbers).
char digit(uint8_t b) { return b >= '0' && b <= '9' ? char(b) : '0'; }

// Segment type of a key element's data type; 0 for a type no key may have.
int seg_type(int type) {
  switch (type) {
    case 1: case 3: case 4: case 8: case 9: case 10: case 11: case 12: case 13: case 15: return 1;
    case 5: case 6: case 7: return 8;
    default: return 0;
  }
}

// Every ELEMENT record of a file, in key 2 order.
bool read_elems(FmArb* a, const char* file, std::vector<DElem>* out, std::string* err) {
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), sizeof(DElem)));
  std::memset(buf, 0, sizeof(DElem));
  std::memcpy(buf + offsetof(DElem, file), file, 8);
  PROTO_FULL(a, 2, buf);
  a->key.set(buf + offsetof(DElem, file));
  a->key_len = 8;
  a->op = FM_OP_AT | FM_OP_KEY;
  bool ok = fm_start(a) == 1;
  if (!ok) *err = fmt("bad read - delem file, status %u", a->status.get());
  while (ok) {
    a->op = 0;
    if (!fm_rdnxt(a)) {
      if (a->status.get() != FM_ST_EOF) {
        *err = fmt("bad read - delem file, status %u", a->status.get());
        ok = false;
      }
      break;
    }
    const DElem& e = rec::view<DElem>(buf);
    if (std::memcmp(e.file.data(), file, 8) != 0) break;
    out->push_back(e);
  }
  mm_free(buf);
  return ok;
}

// The INITIAL (1) or NULL (2) image of a file from its INITIAL records.
bool read_image(FmArb* a, const char* file, int kind, int len, std::vector<uint8_t>* out, std::string* err) {
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), sizeof(DInit)));
  out->clear();
  bool ok = true;
  for (uint32_t seq = 1; int(out->size()) < len; ++seq) {
    DInit& r = rec::view<DInit>(buf);
    std::memcpy(r.file.data(), file, 8);
    r.kind = uint8_t(kind);
    r.seq = seq;
    PROTO_FULL(a, 0, buf);
    a->op = FM_OP_EQUAL;
    a->rec_len = sizeof(DInit);
    if (!fm_read(a)) {
      ok = false;
      break;
    }
    int n = int(a->len_read.get()) - DINIT_HEAD;
    if (n <= 0) {
      ok = false;
      break;
    }
    out->insert(out->end(), r.data.data(), r.data.data() + n);
  }
  mm_free(buf);
  if (!ok || int(out->size()) != len) {
    *err = fmt("bld_sum_fi() - missing %s record", kind == 1 ? "INITIAL" : "NULL");
    return false;
  }
  return true;
}

// Opens a dictionary file of the context when the caller gave no handle.
FmArb* open_dict(const char* builder, DdCtx* ctx, FmKdb** kdb, FmSdb** sdb) {
  *kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * FM_CAT_KDB_AREA));
  *sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb f;
  fm_cat_fill(fm_cat_find(builder), &f, *kdb, *sdb, ctx->app, ctx->ver);
  if (!FM_OPEN(&f, com.depth, FM_OPT_NO_SYSDIR, 1, 15)) return nullptr;
  return f.handle.get();
}

// Builds the block of a compiled file; false with the reason.
bool build_block(DdCtx* ctx, FmArb* elem, FmArb* init, const DFile* file, SumBlock* b) {
  std::vector<DElem> els;
  if (!read_elems(elem, file->name.data(), &els, &ctx->error)) return false;
  b->name = std::string(file->name.view());
  b->ftype = file->ftype;
  b->org = file->org;
  b->b14 = digit(uint8_t(file->b14[0])) - '0';
  b->rec_len = file->rec_len;
  b->var = digit(uint8_t(file->var[0])) - '0';
  int nkeys = file->key_count;
  if (nkeys > 17) {
    ctx->error = "bld_sum_fi() - key count above 17";
    return false;
  }
  for (int k = 0; k < nkeys; ++k) {
    uint32_t num = file->key_elem[k];
    size_t at = 0;
    while (at < els.size() && els[at].number.get() != num) ++at;
    if (at == els.size()) {
      ctx->error = fmt("bad read - delem file (key %d, element %u)", k, num);
      return false;
    }
    const DElem& e = els[at];
    SumKey key;
    key.name = std::string(e.name.view());
    // Anything but '-' orders ascending, as the file manager takes it.
    auto order_of = [](uint8_t o) { return o == '-' ? '-' : '+'; };
    key.order = order_of(e.key_order);
    key.key_no = e.key_no;
    key.flags = (e.key_dups == '1' ? 1 : e.key_dups == ' ' ? 17 : 0) + (e.key_no == 0 ? 4 : 0) +
                (e.key_kind == 2 ? 2 : 0);
    auto add = [&](const DElem& m, int field, int offset, char order) -> bool {
      int st = seg_type(m.type);
      if (!st) {
        ctx->error = "bld_sum_fi() inv key segment";
        return false;
      }
      std::string name(m.name.view());
      if ((m.type == 6 || m.type == 7)) {
        key.segs.push_back({name, order, field, offset, 4, 8});
        if (m.length == 8) key.segs.push_back({name, order_of(m.key_order), field + 1, offset + 4, 4, 8});
      } else {
        key.segs.push_back({name, order, field, offset, int(m.length), st});
      }
      return true;
    };
    if (e.kind == 2) {
      std::string last(e.domain.view());
      bool found = false;
      for (size_t j = at + 1; j < els.size(); ++j) {
        const DElem& m = els[j];
        if (m.kind != 2 && m.kind != 3 && m.occurs > 0) {
          // Occurrence i of a member: its own field numbers (two a binary
          // date of 8 bytes) and its own bytes.
          int per = (m.type == 6 || m.type == 7) && m.length == 8 ? 2 : 1;
          for (int i = 0; i < m.occurs; ++i)
            if (!add(m, m.field_no + per * i, m.offset + i * m.length, order_of(m.key_order))) return false;
        }
        if (m.name.view() == last) {
          found = true;
          break;
        }
      }
      if (!found) {
        ctx->error = "bld_sum_fi() group thru not found";
        return false;
      }
    } else if (e.kind != 3) {
      if (!add(e, e.field_no, e.offset, '+')) return false;
    }
    if (int(key.segs.size()) != file->seg_count[k] && e.kind != 3) {
      // The FILE record's count is what the line carries; a difference is a
      // damaged definition.
      ctx->error = fmt("bld_sum_fi() - key %d has %zu segments, FILE says %d", k, key.segs.size(),
                       int(file->seg_count[k]));
      return false;
    }
    b->keys.push_back(key);
  }
  for (const DElem& e : els)
    if (e.kind < 2 || e.kind > 5) b->fields.push_back({std::string(e.name.view()), e.occurs, e.type, e.offset, e.length});
  if (!read_image(init, file->name.data(), 1, b->rec_len, &b->init, &ctx->error)) return false;
  if (!read_image(init, file->name.data(), 2, b->rec_len, &b->null, &ctx->error)) return false;
  // The images go out in the raw files' order (big-endian numbers).
  std::vector<BsLayout> lay;
  for (const SumField& f : b->fields)
    lay.push_back({uint16_t(f.type), uint16_t(f.offset), uint16_t(f.length), uint16_t(f.occurs)});
  adjust_rec_raw(b->init.data(), b->rec_len, lay.data(), int(lay.size()));
  adjust_rec_raw(b->null.data(), b->rec_len, lay.data(), int(lay.size()));
  return true;
}

void dump(std::string* o, const std::vector<uint8_t>& img) {
  static const char hex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < img.size(); ++i) {
    *o += hex[img[i] >> 4];
    *o += hex[img[i] & 15];
    if (i % 40 == 39 || i + 1 == img.size()) *o += '\n';
  }
}

}  // namespace

std::string sum_block_text(const SumBlock& b) {
  std::string o = fmt("FILE:  %8.8s %d %d %c %d %c %d %d\n", pad(b.name, 8).c_str(), b.ftype, b.org,
                      char('0' + (b.b14 % 10)), b.rec_len, char('0' + (b.var % 10)), int(b.keys.size()),
                      int(b.fields.size()));
  for (const SumKey& k : b.keys) {
    o += fmt("KEY:  %22.22s %c %d %d %d\n", pad(k.name, 22).c_str(), k.order, k.key_no, k.flags, int(k.segs.size()));
    for (const SumSeg& s : k.segs)
      o += fmt("SEGMENT:  %22.22s %c %d %d %d %d\n", pad(s.name, 22).c_str(), s.order, s.field, s.offset, s.length,
               s.type);
  }
  for (const SumField& f : b.fields)
    o += fmt("%22.22s %d %d %d %d\n", pad(f.name, 22).c_str(), f.occurs, f.type, f.offset, f.length);
  dump(&o, b.init);
  dump(&o, b.null);
  return o;
}

int bld_sum_fi(DdCtx* ctx, const DFile* file) {
  std::string path = ctx->summary;
  if (path.empty()) {
    if (!std::getenv("DD_SUMMARY_FILE")) return 0;
    FmFdb f = fm_fdb;
    INIT_SRC_PATH(&f, ctx->app, ctx->ver, "SUMMARY ", FM_PT_DATA);
    if (!fm_os_path(&f, &path)) return 0;
  }
  FmKdb *ek = nullptr, *ik = nullptr;
  FmSdb *es = nullptr, *is = nullptr;
  FmArb* elem = ctx->elem ? ctx->elem : open_dict("INIT_DELEM_FDB", ctx, &ek, &es);
  FmArb* init = ctx->init ? ctx->init : open_dict("INIT_DINIT_FDB", ctx, &ik, &is);
  SumBlock b;
  FmArbKeep keep_elem(ctx->elem), keep_init(ctx->init);
  bool ok = elem && init;
  if (!ok) ctx->error = "bad read - delem file (ELEMENT or INITIAL cannot be opened)";
  if (ok) ok = build_block(ctx, elem, init, file, &b);
  if (elem && !ctx->elem) FM_CLOSE(elem, 0);
  if (init && !ctx->init) FM_CLOSE(init, 0);
  for (void* p : {static_cast<void*>(ek), static_cast<void*>(es), static_cast<void*>(ik), static_cast<void*>(is)})
    if (p) mm_free(p);
  if (!ok) return -1;
  std::string text = sum_block_text(b);
  // What the reader would refuse is not appended: a block it stops at would
  // hide every block after it too.
  SumReader check;
  SumBlock back;
  if (!check.open_text("1\n" + text, "SUMMARY block of " + b.name) || check.next(&back) != 1) {
    ctx->error = "bld_sum_fi() - bad element: " + check.error();
    return -1;
  }

  // The SUMMARY lies in the group's data directory: never written through a
  // link or into anything but a regular file (uio_open), and made new under
  // a free name only (uio_create), as the umask allows of 0644.
  int fd = -1;
  for (int tries = 0; fd < 0 && tries < 8; ++tries) {
    fd = uio_open(path.c_str(), O_RDWR | O_APPEND);
    if (fd >= 0 || errno != ENOENT) break;
    mode_t mask = ::umask(0);
    ::umask(mask);
    fd = uio_create(path.c_str(), int(0644 & ~mask));
    // Appended to like an opened one: another compile may write first.
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_APPEND);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0 && (errno == ELOOP || errno == EINVAL)) {
    ctx->error = "SUMMARY not written: " + path + " is " +
                 (errno == ELOOP ? "or leads through a symbolic link" : "not a regular file");
    return -1;
  }
  if (fd < 0) return 0;
  // A second name is a hard link made to some other file (a profile).
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_nlink != 1) {
    ::close(fd);
    ctx->error = "SUMMARY not written: " + path + " is a hard link to another file";
    return -1;
  }
  // The wait for another compile's append says who holds the file and ends
  // when the user cancels it: whoever else may open the file cannot keep
  // this engine waiting for good.
  if (int e = uio_lock(fd, 0, UioLock::Write, kUioWaitForever, path.c_str())) {
    ::close(fd);
    ctx->error = "SUMMARY not written: " + path + ": " + std::strerror(e);
    return -1;
  }
  // "1" once, when the file does not yet begin with a number.
  char head[8] = {};
  ssize_t n = pread(fd, head, sizeof head - 1, 0);
  bool numbered = n > 0 && (head[0] >= '0' && head[0] <= '9');
  if (!numbered) text = "1\n" + text;
  bool wrote = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
  (void)uio_unlock(fd, 0);
  ::close(fd);
  if (!wrote) {
    ctx->error = "SUMMARY write failed: " + path;
    return -1;
  }
  return 1;
}

// ================================================================ reader ==
SumReader::~SumReader() {
  if (f_) std::fclose(f_);
}

int SumReader::fail(const char* what) {
  error_ = path_ + ":" + std::to_string(lineno_) + ": " + what;
  return -1;
}

bool SumReader::line(std::string* out) {
  out->clear();
  int c;
  while ((c = std::fgetc(f_)) != EOF && c != '\n') {
    if (out->size() > 4096) {
      ++lineno_;
      error_ = path_ + ":" + std::to_string(lineno_) + ": line too long";
      out->assign(1, '\0');
      return true;
    }
    out->push_back(char(c));
  }
  ++lineno_;  // the line read, or the one that is missing
  if (c == EOF && out->empty()) return false;
  if (c != '\n') {
    // A last line without its newline: the text was cut.
    error_ = path_ + ":" + std::to_string(lineno_) + ": line cut short";
    out->assign(1, '\0');
  }
  return true;
}

bool SumReader::open(const std::string& path) {
  path_ = path;
  f_ = std::fopen(path.c_str(), "r");
  if (!f_) {
    error_ = path + ": bs_import() - missing summary file";
    return false;
  }
  return header();
}

bool SumReader::open_text(const std::string& text, const std::string& name) {
  path_ = name;
  text_ = text;
  f_ = text_.empty() ? nullptr : fmemopen(text_.data(), text_.size(), "r");
  if (!f_) {
    error_ = name + ": bs_import() - missing summary file";
    return false;
  }
  return header();
}

bool SumReader::header() {
  std::string l;
  if (!line(&l) || l != "1") {
    fail("bs_import() - bad summary header");
    return false;
  }
  return true;
}

namespace {

// Numbers of a line after a fixed prefix: exactly n of them, each in range.
bool nums(const std::string& l, size_t from, int n, long* out) {
  const char* p = l.c_str() + from;
  for (int i = 0; i < n; ++i) {
    if (*p != ' ') return false;
    while (*p == ' ') ++p;
    char* end;
    errno = 0;
    long v = std::strtol(p, &end, 10);
    if (end == p || errno || (*end && *end != ' ')) return false;
    out[i] = v;
    p = end;
  }
  return p == l.c_str() + l.size();  // (a NUL byte in the line is no end)
}

bool in(long v, long lo, long hi) { return v >= lo && v <= hi; }

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

int SumReader::next(SumBlock* b) {
  *b = SumBlock();
  std::string l;
  if (!error_.empty()) return -1;
  if (!line(&l)) return 0;
  if (!error_.empty()) return -1;
  // FILE line.
  if (l.compare(0, 7, "FILE:  ") != 0 || l.size() < 16)
    return fail("bs_import() - bad file in summary (a FILE line was expected)");
  b->line = lineno_;
  b->name = l.substr(7, 8);
  long v[7];
  // Byte 14 and the variable flag are single digits.
  if (!nums(l, 15, 7, v)) return fail("bs_import() - bad file in summary (items of the FILE line)");
  if (!in(v[0], 0, 255) || !in(v[1], 1, 3) || !in(v[2], 0, 9) || !in(v[3], 1, long(FM_MAX_REC)) ||
      !in(v[4], 0, 1) || !in(v[5], 0, long(FM_MAX_KEYS)) || !in(v[6], 0, v[3]))
    return fail("bs_import() - bad file in summary (a number out of range)");
  b->ftype = int(v[0]);
  b->org = int(v[1]);
  b->b14 = int(v[2]);
  b->rec_len = int(v[3]);
  b->var = int(v[4]);
  int nkeys = int(v[5]), nfields = int(v[6]);
  for (int k = 0; k < nkeys; ++k) {
    if (!line(&l) || !error_.empty()) return fail("bs_import() - bad file in summary (cut short)");
    if (l.compare(0, 6, "KEY:  ") != 0 || l.size() < 31 || l[28] != ' ')
      return fail("bs_import() - bad file in summary (a KEY line was expected)");
    SumKey key;
    key.name = l.substr(6, 22);
    key.order = l[29];
    if (key.order != '+' && key.order != '-') return fail("bs_import() - bad file in summary (order character)");
    long kv[3];
    if (!nums(l, 30, 3, kv) || !in(kv[0], 0, 16) || !in(kv[1], 0, 31) || !in(kv[2], 1, 64))
      return fail("bs_import() - bad file in summary (items of the KEY line)");
    key.key_no = int(kv[0]);
    key.flags = int(kv[1]);
    int total = 0;
    for (long s = 0; s < kv[2]; ++s) {
      if (!line(&l) || !error_.empty()) return fail("bs_import() - bad seg in summary (cut short)");
      if (l.compare(0, 10, "SEGMENT:  ") != 0 || l.size() < 35 || l[32] != ' ')
        return fail("bs_import() - bad seg in summary (a SEGMENT line was expected)");
      SumSeg g;
      g.name = l.substr(10, 22);
      g.order = l[33];
    if (g.order != '+' && g.order != '-') return fail("bs_import() - bad seg in summary (order character)");
      long sv[4];
      if (!nums(l, 34, 4, sv) || !in(sv[0], 0, 65535) || !in(sv[1], 0, b->rec_len - 1) ||
          !in(sv[2], 1, long(FM_MAX_KEY_LEN)) || sv[1] + sv[2] > b->rec_len || (sv[3] != 1 && sv[3] != 8) ||
          (sv[3] == 8 && sv[2] > 8))
        return fail("bs_import() - bad seg in summary (items of the SEGMENT line)");
      g.field = int(sv[0]);
      g.offset = int(sv[1]);
      g.length = int(sv[2]);
      g.type = int(sv[3]);
      total += g.length;
      key.segs.push_back(g);
    }
    if (total > long(FM_MAX_KEY_LEN)) return fail("bs_import() - bad seg in summary (key longer than 255)");
    b->keys.push_back(key);
  }
  for (int i = 0; i < nfields; ++i) {
    if (!line(&l) || !error_.empty()) return fail("bs_import() - bad fld in summary (cut short)");
    if (l.size() < 23) return fail("bs_import() - bad fld in summary (a field line was expected)");
    SumField f;
    f.name = l.substr(0, 22);
    long fv[4];
    if (!nums(l, 22, 4, fv) || !in(fv[0], 1, b->rec_len) || !in(fv[1], 0, 16) || !in(fv[2], 0, b->rec_len - 1) ||
        !in(fv[3], 1, b->rec_len) || fv[2] + fv[0] * fv[3] > b->rec_len)
      return fail("bs_import() - bad fld in summary (items of the field line)");
    f.occurs = int(fv[0]);
    f.type = int(fv[1]);
    f.offset = int(fv[2]);
    f.length = int(fv[3]);
    b->fields.push_back(f);
  }
  for (std::vector<uint8_t>* img : {&b->init, &b->null}) {
    img->reserve(size_t(b->rec_len));
    while (int(img->size()) < b->rec_len) {
      size_t want = size_t(std::min(40, b->rec_len - int(img->size())));
      if (!line(&l) || !error_.empty()) return fail("bs_import() - bad proto in summary (cut short)");
      if (l.size() != 2 * want) return fail("bs_import() - bad proto in summary (a dump line of the wrong length)");
      for (size_t i = 0; i < want; ++i) {
        int hi = hexval(l[2 * i]), lo = hexval(l[2 * i + 1]);
        if (hi < 0 || lo < 0) return fail("bs_import() - bad proto in summary (not a hex digit)");
        img->push_back(uint8_t(hi << 4 | lo));
      }
    }
  }
  return 1;
}
