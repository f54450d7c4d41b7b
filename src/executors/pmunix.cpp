// Print files: creation under a free name, the overstrike line format, the
// read-back by line and page, and the hand-off to the print script.
#include "executors/pmunix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/unixio.h"
#include "foundation/la.h"
#include "foundation/ssunix.h"

namespace {

// Creates, removes and opens files as the real user while it lives, when the
// engine runs under another effective user; the effective user comes back
// when it ends, also after a failure.
class AsRealUser {
 public:
  AsRealUser() : euid_(geteuid()) {
    if (euid_ != getuid()) switched_ = seteuid(getuid()) == 0;
  }
  ~AsRealUser() {
    if (switched_ && seteuid(euid_) != 0) std::abort();  // never go on under the wrong identity
  }
  AsRealUser(const AsRealUser&) = delete;
  AsRealUser& operator=(const AsRealUser&) = delete;

 private:
  uid_t euid_;
  bool switched_ = false;
};

// The print-file directory, always with its final '/'.
std::string prt_dir() {
  const char* d = std::getenv("QUVO_PRT_FI_DIR");
  std::string dir = d && *d ? d : "/tmp/";
  if (dir.back() != '/') dir += '/';
  return dir;
}

PmStream* new_stream(int fd) {
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* s = static_cast<PmStream*>(MM_ALLOC(pool, sizeof(PmStream)));
  std::memset(static_cast<void*>(s), 0, sizeof *s);
  s->fd = fd;
  s->pool = pool;
  return s;
}

// Writes the buffer out. A failed write (a full disk, a quota) is kept in
// the stream's flag as its error number; the buffer is dropped then, so
// that it never fills past its end, and the stream writes nothing more.
bool flush(PmStream* s) {
  if (s->flag) {
    s->fill = 0;
    return false;
  }
  const uint8_t* p = s->buf.data();
  size_t left = s->fill;
  while (left > 0) {
    ssize_t n = ::write(s->fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      s->flag = uint8_t(n < 0 && errno > 0 && errno < 256 ? errno : EIO);
      s->fill = 0;
      return false;
    }
    p += n;
    left -= size_t(n);
  }
  s->fill = 0;
  return true;
}

void put(PmStream* s, uint8_t b) {
  if (s->fill >= s->buf.size() && !flush(s)) return;
  s->buf[s->fill] = b;
  s->fill = s->fill + 1;
}

void free_stream(PmCtl* pc) {
  PmStream* s = pc->stream.get();
  if (s->fd > 0) ::close(s->fd);
  MmPool pool = s->pool;
  pc->stream.reset();
  mm_destroy_pool(pool);
}

// The read buffer shared by every print file read in this engine.
struct ReadBuf {
  int fd = -1;
  uint64_t start = 0;
  size_t len = 0;
  uint8_t data[8192];
};
ReadBuf g_rb;

void reset_read_buf() { g_rb.fd = -1, g_rb.len = 0; }

// The byte at off, or -1 past the end.
int byte_at(int fd, uint64_t off) {
  if (g_rb.fd != fd || off < g_rb.start || off >= g_rb.start + g_rb.len) {
    ssize_t n;
    while ((n = pread(fd, g_rb.data, sizeof g_rb.data, off_t(off))) < 0 && errno == EINTR) {
    }
    g_rb.fd = fd;
    g_rb.start = off;
    g_rb.len = n > 0 ? size_t(n) : 0;
    if (n <= 0) return -1;
  }
  return g_rb.data[off - g_rb.start];
}

// The next line at the stream's offset: its bytes up to a line feed or form
// feed, or that terminator alone when it comes first. Read whole, however
// many overstrike bytes it has. False at the end.
bool read_line(PmStream* s, std::string* out) {
  out->clear();
  uint64_t off = s->off;
  int b = byte_at(s->fd, off);
  if (b < 0) return false;
  if (b == '\n' || b == '\f') {
    out->push_back(char(b));
  } else {
    while (b >= 0 && b != '\n' && b != '\f') {
      out->push_back(char(b));
      b = byte_at(s->fd, ++off);
    }
  }
  s->off = s->off + out->size();
  return true;
}

void rewind(PmCtl* pc, PmStream* s) {
  s->off = 0;
  s->line_off = 0;
  s->page = 1;
  s->line = 0;
  s->page_line = 0;
  s->page_off = 0;
  pc->blanks = 0;
  reset_read_buf();
}

void back_to_page(PmCtl* pc, PmStream* s) {
  s->off = s->page_off;
  s->line = s->page_line;
  pc->blanks = 0;
}

// A .cfg value: trailing blanks dropped, and no control byte, which would
// let a field begin a line of its own (-mode=...): neither C0 nor C1 (0x85
// ends a line for readers that take the file as ISO 8859-1 text).
std::string cfg_value(std::string_view v) {
  std::string out(v);
  for (char& c : out)
    if (uint8_t(c) < 0x20 || (uint8_t(c) >= 0x7f && uint8_t(c) <= 0x9f)) c = ' ';
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace

std::string pm_path(const PmCtl* pc) { return prt_dir() + pc->name.str(); }

int pm_bld(PmCtl* pc, char path[255]) {
  std::string stem;
  for (char c : pc->name.view())
    if (c != ' ') stem += c;
  if (stem.empty()) stem = "PRTFI";
  // The stem names a file of the directory, nothing else.
  for (char c : stem)
    if (c == '/' || c == '\0') return 0;
  std::string dir = prt_dir();
  AsRealUser who;
  for (;;) {
    int digits = 8 - int(stem.size());
    long limit = 1;
    for (int i = 0; i < digits; ++i) limit *= 10;
    for (long n = 0; digits > 0 && n < limit; ++n) {
      std::string num = std::to_string(n);
      std::string name = stem + std::string(size_t(digits) - num.size(), '0') + num;
      std::string p = dir + name;
      if (p.size() > 255) return 0;  // a path the caller's area cannot hold
      int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return 0;
      }
      // The .cfg name is claimed with the file (empty until the clean-up
      // writes it): in a directory others write (/tmp), no one can take it
      // first and so stop the report from being printed.
      int cfd = open((p + ".cfg").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (cfd < 0) {
        int e = errno;
        close(fd);
        unlink(p.c_str());
        if (e == EEXIST) continue;
        return 0;
      }
      close(cfd);
      pc->name.set(name);
      std::memset(path, ' ', 255);
      std::memcpy(path, p.data(), p.size());
      pc->stream.set(new_stream(fd));
      pc->line = 0;
      pc->page = 0;
      pc->subst.zero();
      std::memcpy(pc->subst.data(), "amw", 3);
      pc->subst_len = 3;
      return 1;
    }
    if (stem.empty()) return 0;
    stem.pop_back();
  }
}

int pm_write(PmCtl* pc, const PmReq* req) {
  PmStream* s = pc->stream.get();
  if (!s || s->fd <= 0) return 0;
  switch (req->action) {
    case kPmNewPage:
      pc->line = 0;
      pc->page = pc->page + 1;
      if (pc->page > 1) put(s, '\f');
      break;
    case kPmAdvance:
      for (uint32_t i = 0; i < req->count; ++i) put(s, '\n');
      pc->line = pc->line + req->count;
      break;
    case kPmGoto:
      while (pc->line < req->count) {
        put(s, '\n');
        pc->line = pc->line + 1;
      }
      break;
    default:
      return 0;
  }
  const char* text = req->text.get();
  size_t n = text ? req->text_len : 0;
  if (n == 0) return s->flag ? 0 : 1;
  // Width: the text without trailing blanks, but at least to the end of the
  // last attribute run; one attribute word per column.
  size_t width = n;
  while (width > 0 && text[width - 1] == ' ') --width;
  const PmRun* runs = req->runs.get();
  size_t nruns = runs ? req->run_count : 0;
  bool plain = true;
  for (size_t r = 0; r < nruns; ++r) {
    if (runs[r].start > 0) width = std::max(width, size_t(runs[r].start) - 1 + runs[r].len);
    if (runs[r].start > 0 && runs[r].len > 0 && runs[r].attr != 0) plain = false;
  }
  if (plain) {
    // Most lines carry no attribute: their characters as they are.
    for (size_t c = 0; c < width; ++c) put(s, uint8_t(c < n ? text[c] : ' '));
    return s->flag ? 0 : 1;
  }
  std::vector<uint32_t> attr(width, 0);
  for (size_t r = 0; r < nruns; ++r) {
    size_t from = runs[r].start;
    if (from == 0) continue;
    for (size_t c = from - 1; c < from - 1 + runs[r].len && c < width; ++c) attr[c] |= runs[r].attr;
  }
  std::string seq;
  for (size_t c = 0; c < width; ++c) {
    char ch = c < n ? text[c] : ' ';
    uint32_t a = attr[c];
    std::string chars;
    if ((a & kPmHidden) == kPmHidden) chars = " ";
    else if ((a & kPmSubst) == kPmSubst) chars.assign(reinterpret_cast<const char*>(pc->subst.data()), std::min<size_t>(pc->subst_len, 4));
    else chars = std::string(1, ch);
    seq.clear();
    for (size_t i = 0; i < chars.size(); ++i) {
      if (i > 0) seq += '\b';
      seq += chars[i];
      if (a & kPmUnderline) seq += "\b_";
    }
    int times = (a & kPmBold) ? 3 : 1;
    for (int t = 0; t < times; ++t) {
      if (t > 0) put(s, '\b');
      for (char b : seq) put(s, uint8_t(b));
    }
  }
  return s->flag ? 0 : 1;
}

int pm_close(PmCtl* pc) {
  PmStream* s = pc->stream.get();
  if (!s) return 0;
  if (s->fd > 0) flush(s);
  free_stream(pc);
  return 1;
}

int pm_open(PmCtl* pc) {
  if (pc->stream) pm_close(pc);
  std::string path = pm_path(pc);
  int fd;
  {
    AsRealUser who;
    // Only the regular file the report wrote: never through a link, and
    // never a pipe or device put in its place (whose reads would wait).
    fd = uio_open(path.c_str(), O_RDWR);
  }
  if (fd < 0) return 0;
  pc->line = 0;
  pc->blanks = 0;
  pc->stream.set(new_stream(fd));
  reset_read_buf();
  return 1;
}

int pm_rdnxt(PmCtl* pc, PmReq* req) {
  PmStream* s = pc->stream.get();
  if (!s || s->fd <= 0) {
    pc->status = kPmNoFile;
    return 0;
  }
  // Reading from the start is reading the first page.
  if (s->page == 0) s->page = 1;
  s->line_off = s->off;
  std::string ln;
  if (!read_line(s, &ln)) {
    pc->status = kPmEof;
    return 0;
  }
  req->action = kPmAdvance;
  req->count = 0;
  req->text_len = 0;
  while (ln == "\n") {
    req->count = req->count + 1;
    s->line = s->line + 1;
    pc->blanks = pc->blanks + 1;
    if (!read_line(s, &ln)) {
      pc->status = kPmEof;
      return 0;
    }
  }
  pc->status = 0;
  if (ln == "\f") {
    req->action = kPmNewPage;
    s->page = s->page + 1;
    s->line = s->line + 1;
    s->page_line = s->line;
    s->page_off = s->off;
    pc->blanks = 0;
    pc->page = s->page;
    pc->line = s->line;
    return 1;
  }
  char* text = req->text.get();
  rec::U32* attrs = req->attrs.get();
  for (int i = 0; attrs && i < kPmCols; ++i) attrs[i] = 0;
  // Characters and overstrikes: "_" underlines the character before, the
  // same character again makes it bold, the substitution text's later
  // characters make it a marked blank. Past kPmCols the line is cut.
  int count = 0;
  bool last_kept = false;
  char raw_prev = 0;
  for (size_t i = 0; i < ln.size(); ++i) {
    char b = ln[i];
    if (b != '\b') {
      last_kept = count < kPmCols;
      if (last_kept) {
        if (text) text[count] = b;
        ++count;
      }
      raw_prev = b;
      continue;
    }
    if (i + 1 >= ln.size()) break;
    char o = ln[++i];
    if (!last_kept || count == 0) continue;
    uint32_t mark = 0;
    if (o == '_') mark = kPmUnderline;
    else if (o == raw_prev) mark = kPmBold;
    else if (pc->subst_len >= 3 && (o == char(pc->subst[1]) || o == char(pc->subst[2]))) {
      mark = kPmSubstRead;
      if (text) text[count - 1] = ' ';
    }
    if (attrs) attrs[count - 1] = attrs[count - 1] | mark;
  }
  req->text_len = uint16_t(count);
  pc->page = s->page;
  pc->line = s->line;
  return 1;
}

int pm_read(PmCtl* pc, PmReq* req) {
  PmStream* s = pc->stream.get();
  if (!s || s->fd <= 0) {
    pc->status = kPmNoFile;
    return 0;
  }
  uint32_t want_page = pc->page, want_line = pc->line;
  if (want_page != 0) {
    if (s->page == 0 || want_page < s->page) rewind(pc, s);
    else if (want_page == s->page) back_to_page(pc, s);
    // Up to the page's start, then its first line.
    while (s->page < want_page)
      if (!pm_rdnxt(pc, req)) return 0;
    return pm_rdnxt(pc, req);
  }
  if (s->line >= s->page_line && want_line >= s->page_line && want_line < s->line && s->page != 0)
    back_to_page(pc, s);
  else if (want_line < s->line || s->line == 0) rewind(pc, s);
  do {
    if (!pm_rdnxt(pc, req)) return 0;
  } while (s->line < want_line);
  return 1;
}

int pm_cleanup(PmCtl* pc) {
  if (pc->mode == 0 || pc->mode > kPmOnline) pc->mode = kPmHold;
  if (pc->disposition == 0 || pc->disposition > kPmRequeue) pc->disposition = kPmScratch;
  if (pc->copies == 0 || pc->copies > 254) pc->copies = 1;
  PmStream* s = pc->stream.get();
  if (!s || s->fd <= 0) {
    pc->status = kPmNotOpen;
    return 0;
  }
  bool whole = flush(s);
  uint32_t write_err = s->flag;
  struct stat st{};
  if (pc->disposition == kPmSave && fstat(s->fd, &st) == 0 && st.st_size == 0) pc->disposition = kPmScratch;
  std::string path = pm_path(pc), cfg_path = path + ".cfg";
  free_stream(pc);
  pc->status = 0;
  if (pc->print != 1) {
    AsRealUser who;
    unlink(path.c_str());
    unlink(cfg_path.c_str());
    return 1;
  }
  // A report that did not reach its file whole is never printed: the file
  // is left as it is and the status says why.
  if (!whole) {
    AsRealUser who;
    unlink(cfg_path.c_str());
    pc->status = kPmWriteFailed + write_err;
    return 0;
  }
  FILE* cfg = nullptr;
  int open_err = 0;
  {
    AsRealUser who;
    // The .cfg claimed with the file: never through a link, and only while
    // it is still this user's own regular file.
    int fd = open(cfg_path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    open_err = errno;  // before the identity comes back
    struct stat cs{};
    if (fd >= 0 && (fstat(fd, &cs) != 0 || !S_ISREG(cs.st_mode) || cs.st_uid != geteuid() || cs.st_nlink != 1 ||
                    ftruncate(fd, 0) != 0)) {
      close(fd);
      fd = -1;
      open_err = EPERM;
    }
    if (fd >= 0 && !(cfg = fdopen(fd, "w"))) {
      open_err = errno;
      close(fd);
    }
  }
  if (!cfg) {
    pc->status = kPmCfgFailed + uint32_t(open_err);
    return 0;
  }
  static const char* const kModes[] = {"", "HOLD", "SPOOL", "KEEP", "ONLINE"};
  static const char* const kDisps[] = {"", "SCRATCH", "SAVE", "REQUEUE"};
  auto yes = [](uint8_t v) { return v == 1 ? "Yes" : "No"; };
  auto line = [&](const char* name, std::string_view v) {
    std::fprintf(cfg, "-%s=%s\n", name, cfg_value(v).c_str());
  };
  std::fprintf(cfg, "-mode=%s\n", kModes[pc->mode]);
  std::fprintf(cfg, "-disposition=%s\n", kDisps[pc->disposition]);
  std::fprintf(cfg, "-copies=%u\n", unsigned(pc->copies));
  std::fprintf(cfg, "-notify=%s\n", yes(pc->notify));
  std::fprintf(cfg, "-banner=%s\n", yes(pc->banner));
  line("format", pc->format.view());
  line("priority", pc->priority.view());
  char date[17] = "";
  if (pc->print_date.day != 0xFFFFFFFFu) {
    LaText t{16, date};
    ss_host_time(&t, pc->print_date);
    date[t.len] = 0;
  }
  line("date", date);
  line("user", os_uid());
  line("printer_name", pc->printer_name.view());
  line("printer_id", pc->printer_id.view());
  line("printer_ctl", pc->printer_ctl.view());
  line("printer_queue", pc->printer_queue.view());
  line("form_name", pc->form_name.view());
  line("form_id", pc->form_id.view());
  line("form_ctl", pc->form_ctl.view());
  line("rpt_options", pc->rpt_options.view());
  bool written = std::fflush(cfg) == 0 && !std::ferror(cfg);
  int err = errno;
  written = std::fclose(cfg) == 0 && written;
  if (!written) {
    pc->status = kPmCfgFailed + uint32_t(err);
    return 0;
  }
  if (pc->mode == kPmKeep) return 1;
  // The script gets the two paths as two arguments, no shell between.
  const char* script = std::getenv("QUVO_PRT_SCRIPT");
  std::string sp = script && *script ? script : "quvo_print";
  if (sp[0] != '/') {
    // The data directory is the group's: a script there runs as this user
    // only when no one else can have put it there or changed it (owned by
    // this user, root or the directory's owner; a regular file that no one
    // else may write; every directory on its way held so too). A missing
    // one is refused as well: another member could plant it before it runs.
    std::string top = os_data_dir();
    sp = top + "/" + sp;
    struct stat ds{};
    unsigned owner = stat(top.c_str(), &ds) == 0 ? unsigned(ds.st_uid) : unsigned(getuid());
    OsTrust t = os_trust_path(top, sp, unsigned(getuid()), owner);
    if (t != OsTrust::Ok) {
      pc->status = kPmScriptRefused + uint32_t(t);
      return 0;
    }
  }
  int status = 0;
  os_spawn_argv(sp, {sp, "-config=" + cfg_path, path}, true, &status);
  return 1;
}
