// The message catalogue: the MESSAGE file of "0LA", message texts with their
// labels and parameters, message queues and the separators of numbers.
#include "foundation/la.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {

// A queue record: the LaQueueRec head, then the text.
constexpr int kHead = int(sizeof(LaQueueRec));

LaLookup g_lookup = nullptr;
LaMsgLine g_msg_line = nullptr;
LaSepSource g_sep_source = nullptr;
std::string g_sys_err;

// The catalogue: the open MESSAGE file (the data directory's, or a memory
// copy of the sources), opened on the first look-up.
struct Catalogue {
  FmArb* file = nullptr;
  bool tried = false;
  bool busy = false;          // a look-up is running (system errors inside it)
  bool memory = false;        // the file is the memory copy of the sources
  uint32_t status = 200340;   // why there is no catalogue
  int os_err = 0;
  MmPool pool = 0;
  uint32_t queue_no = 0;      // running number of message queue files
} g_cat;

MmPool la_pool() {
  if (!g_cat.pool) g_cat.pool = mm_create_pool(" LA_POOL   ", com.base_scope, 0);
  return g_cat.pool;
}

std::string language() {
  std::string l = com.language.str();
  return l.empty() ? std::string("ENG") : l;
}

// Opens the catalogue: the data directory's MESSAGE file, else a memory
// copy of the sources.
// Whether the catalogue's handle no longer reaches the catalogue: closed, or
// its block now serves another file (the file manager started again).
bool catalogue_gone(FmArb* f) {
  if (!fm_is_handle(f) || f->state.get() == FM_HS_CLOSED || !f->file) return true;
  FmFdb want;
  la_msg_fdb(&want, FM_CLASS_DISK);
  const FmFdb& have = f->file.get()->fdb;
  return !(have.app == want.app.view()) || !(have.name == want.name.view());
}

void open_catalogue() {
  if (g_cat.file && catalogue_gone(g_cat.file)) {
    // Closed under us (the file manager shut down): open it again.
    g_cat.file = nullptr;
    g_cat.memory = false;
    g_cat.tried = false;
  }
  if (g_cat.file || g_cat.tried) return;
  g_cat.tried = true;
  g_cat.busy = true;
  // Opening may leave a reason as the system-error text; the caller's stays.
  std::string saved = g_sys_err;
  struct Restore {
    std::string& to;
    std::string from;
    ~Restore() { to = from; }
  } restore{g_sys_err, saved};
  FmFdb fdb;
  la_msg_fdb(&fdb, FM_CLASS_DISK);
  if (FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR, 1, 15)) {
    g_cat.file = fdb.handle.get();
    g_cat.busy = false;
    return;
  }
  g_cat.status = fdb.status;
  g_cat.os_err = fdb.os_err;
  la_msg_fdb(&fdb, FM_CLASS_MEMORY);
  FM_SCRATCH(&fdb, 0);  // a copy left by an earlier catalogue
  la_msg_fdb(&fdb, FM_CLASS_MEMORY);
  if (FM_CREATE(&fdb, com.base_scope, 0, 0, 0, 15)) {
    FmArb* f = fdb.handle.get();
    std::string error;
    if (la_load_messages(f, la_source_dir(), &error) > 0) {
      g_cat.file = f;
      g_cat.memory = true;
    } else {
      FM_CLOSE(f, FM_CL_SCRATCH);
    }
  }
  g_cat.busy = false;
}

// Reads the message of a language; 1 with the record, or 0 with the status.
int read_msg(const std::string& lang, uint32_t msg, LaMsgRec* out, uint32_t* status, int* os_err) {
  FmArb* f = g_cat.file;
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(la_pool(), sizeof(LaMsgRec)));
  LaMsgRec& r = rec::view<LaMsgRec>(buf);
  r.lang.set(lang);
  r.number = msg;
  PROTO_FULL(f, 0, buf);
  f->op = FM_OP_EQUAL;
  int ok = fm_read(f);
  if (ok) std::memcpy(out, buf, sizeof *out);
  *status = ok ? 0 : f->status.get();
  *os_err = ok ? 0 : f->os_err.get();
  mm_free(buf);
  return ok;
}

// Looks a message up: the look-up hook, then the catalogue in the user's
// language and in "ENG". text receives the text without trailing blanks
// (raw bytes for 524000).
bool find(uint32_t msg, std::string* text, int* severity, uint32_t* status, int* os_err) {
  if (g_lookup && g_lookup(msg, text, severity)) return true;
  *status = 200340;
  *os_err = 0;
  if (g_cat.busy) return false;
  open_catalogue();
  if (!g_cat.file) {
    *status = g_cat.status;
    *os_err = g_cat.os_err;
    return false;
  }
  g_cat.busy = true;
  LaMsgRec r;
  std::string lang = language();
  bool ok = read_msg(lang, msg, &r, status, os_err) ||
            (lang != "ENG" && read_msg("ENG", msg, &r, status, os_err));
  g_cat.busy = false;
  if (!ok) return false;
  size_t n = r.length;
  if (n > 256) n = 256;
  text->assign(reinterpret_cast<const char*>(r.text.data()), n);
  if (msg != 524000)
    while (!text->empty() && text->back() == ' ') text->pop_back();
  *severity = r.severity;
  return true;
}

std::string sys_err_text() { return g_sys_err.empty() ? std::string(std::strerror(errno)) : g_sys_err; }

// Replaces %1 .. %9 by the parameters (a missing one by nothing).
std::string substitute(const std::string& text, const std::vector<std::string>& params) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      size_t k = size_t(text[i + 1] - '1');
      if (k < params.size()) out += params[k];
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

std::string trimmed(const char* t, size_t n) {
  while (n > 0 && (t[n - 1] == ' ' || t[n - 1] == 0)) --n;
  return std::string(t, n);
}

// The labelled text of la_xlate.
std::string labelled(uint32_t msg, int* severity) {
  std::string text;
  int sev = 0;
  uint32_t status = 0;
  int os_err = 0;
  if (msg == 200650) {
    text = sys_err_text();
    sev = 3;
  } else if (!find(msg, &text, &sev, &status, &os_err)) {
    char b[96];
    std::snprintf(b, sizeof b, "Unable to translate message: %d (%d,%d)", int(msg), int(status), os_err);
    if (severity) *severity = 3;
    return b;
  }
  if (severity) *severity = sev;
  if (msg == 524000 || msg == 760) return text;
  if (sev == 1) return std::string(com.warning_label.data(), com.warning_len) + " - " + text;
  if (sev >= 2) return std::string(com.error_label.data(), com.error_len) + " - " + text;
  return text;
}

int fill(LaText* out, const std::string& text) {
  if (!out || !out->text) return int(text.size());
  size_t n = text.size() < out->len ? text.size() : out->len;
  std::memcpy(out->text, text.data(), n);
  std::memset(out->text + n, ' ', out->len - n);
  return int(n);
}

// Parses one source line; false with the reason.
bool parse_line(const std::string& line, LaSourceMsg* m, std::string* why) {
  size_t i = 0;
  auto field = [&](std::string* f) {
    size_t j = line.find(' ', i);
    if (j == std::string::npos || j == i) return false;
    *f = line.substr(i, j - i);
    i = j + 1;
    return true;
  };
  std::string num, sev, origin;
  if (!field(&num) || !field(&sev) || !field(&origin)) {
    *why = "expected: number severity origin text";
    return false;
  }
  if (num.size() > 9 || num.find_first_not_of("0123456789") != std::string::npos) {
    *why = "bad message number '" + num + "'";
    return false;
  }
  if (sev.size() != 1 || sev[0] < '0' || sev[0] > '3') {
    *why = "severity must be 0-3";
    return false;
  }
  if (origin != "q" && origin != "w") {
    *why = "origin must be q or w";
    return false;
  }
  std::string text;
  for (size_t k = i; k < line.size(); ++k) {
    char c = line[k];
    if (c == '\\' && k + 1 < line.size() && line[k + 1] == '\\') {
      text += '\\';
      ++k;
    } else if (c == '\\' && k + 3 < line.size() + 0 && line[k + 1] == 'x' && std::isxdigit(uint8_t(line[k + 2])) &&
               std::isxdigit(uint8_t(line[k + 3]))) {
      text += char(std::strtoul(line.substr(k + 2, 2).c_str(), nullptr, 16));
      k += 3;
    } else {
      text += c;
    }
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.size() > 256) {
    *why = "text longer than 256 bytes";
    return false;
  }
  m->number = uint32_t(std::strtoul(num.c_str(), nullptr, 10));
  m->severity = sev[0] - '0';
  m->origin = origin[0];
  m->text = text;
  return true;
}

}  // namespace

// ============================================================ messages --

void la_set_lookup(LaLookup lookup) { g_lookup = lookup; }

std::string la_text(uint32_t msg) {
  if (msg == 200650) return sys_err_text();
  std::string text;
  int sev = 0;
  uint32_t status;
  int os_err;
  if (!find(msg, &text, &sev, &status, &os_err)) return std::string();
  return text;
}

int la_xlate(uint32_t msg, LaText* out, int* severity) { return fill(out, labelled(msg, severity)); }

char* la_get_str(char* buffer, size_t size, uint32_t msg) {
  if (!buffer || size == 0) return nullptr;
  std::memset(buffer, 0, size);
  std::string text;
  int sev;
  uint32_t status;
  int os_err;
  if (msg == 200650) text = sys_err_text();
  else if (!find(msg, &text, &sev, &status, &os_err)) return nullptr;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  return buffer;
}

void la_sys_err(const char* text, int) {
  g_sys_err = text ? text : "";
  if (g_msg_line && com.screen_up) g_msg_line(g_sys_err.c_str());
}

const std::string& la_cur_sys_err() { return g_sys_err; }
void la_set_msg_line(LaMsgLine show) { g_msg_line = show; }

// ====================================================== message queues --

FmArb* la_create_fi(int reclen, int scope) {
  MmPool pool = la_pool();
  auto* segs = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), 2));
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb)));
  init_sdb_func(&segs[0], 1, offsetof(LaQueueRec, key), sizeof(LaQueueRec::key), FM_SEG_BINARY, '+');
  init_sdb_func(&segs[1], 2, offsetof(LaQueueRec, severity), sizeof(LaQueueRec::severity), FM_SEG_BINARY, '+');
  INIT_KDB(kdb, 0, '+', 9, segs, 2);
  FmFdb fdb;
  INIT_FDB(&fdb, FM_CLASS_MEMORY, reclen + kHead, 1, kdb, 1);
  char name[9];
  std::snprintf(name, sizeof name, "%08X", unsigned(++g_cat.queue_no));
  INIT_LA_PATH(&fdb, "00", name, FM_PT_DATA);
  fdb.db.set(" LM");
  int ok = reclen >= 0 && reclen + kHead <= int(FM_MAX_REC) && FM_CREATE(&fdb, scope, 0, 0, 0, 15);
  mm_free(kdb);
  mm_free(segs);
  if (!ok) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "la_create_fi() - create failed");
    os_sys_err("LA", __LINE__);
    return nullptr;
  }
  return fdb.handle.get();
}

int la_add_msg(int count, ...) {
  va_list ap;
  va_start(ap, count);
  FmArb* queue = count >= 3 ? va_arg(ap, FmArb*) : nullptr;
  uint32_t msg = count >= 3 ? va_arg(ap, unsigned) : 0;
  uint32_t key = count >= 3 ? va_arg(ap, unsigned) : 0;
  std::vector<std::string> params;
  bool bad = count < 3 || count > 12 || !queue;
  for (int i = 3; !bad && i < count; ++i) {
    const LaText* p = va_arg(ap, const LaText*);
    params.push_back(p && p->text ? trimmed(p->text, p->len) : std::string());
  }
  va_end(ap);
  if (bad || queue->state.get() == FM_HS_CLOSED || !queue->file) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "la_add_msg() - bad arg");
    os_sys_err("LA", __LINE__);
    return 0;
  }
  int severity = 0;
  std::string text;
  if (msg == 0) {
    // The text already in the handle's record buffer.
    const uint8_t* cur = queue->rec.get();
    if (cur) {
      const LaQueueRec& q = rec::view<LaQueueRec>(cur);
      text = trimmed(reinterpret_cast<const char*>(cur) + kHead, q.length);
      severity = q.severity;
    }
  } else {
    text = labelled(msg, &severity);
  }
  text = substitute(text, params);
  size_t max = queue->file->fdb.rec_len > kHead ? size_t(queue->file->fdb.rec_len - kHead) : 0;
  if (text.size() > max) text.resize(max);
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(la_pool(), kHead + (max ? max : 1)));
  LaQueueRec& r = rec::view<LaQueueRec>(buf);
  r.key = key;
  r.severity = uint16_t(severity);
  r.length = uint16_t(text.size());
  std::memcpy(buf + kHead, text.data(), text.size());
  Ref<uint8_t> saved = queue->rec;
  uint16_t saved_len = queue->rec_len;
  queue->rec.set(buf);
  queue->rec_len = uint16_t(kHead + text.size());
  queue->op = 0;
  int ok = fm_write(queue);
  queue->rec = saved;
  queue->rec_len = saved_len;
  mm_free(buf);
  if (!ok) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "la_add_msg() - fm_write failed");
    os_sys_err("LA", __LINE__);
    return 0;
  }
  return 1;
}

int la_center(int kind, LaText* out, uint32_t msg, const char* argument, const char* title,
              const char* type_name) {
  std::string text;
  if (kind == 0) {
    text = la_text(msg);
    if (text.empty() && msg != 0) text = labelled(msg, nullptr);
  } else {
    text = labelled(msg, nullptr);
  }
  text = substitute(text, {argument ? argument : "", title ? title : "", type_name ? type_name : ""});
  if (!out || !out->text) return int(text.size());
  ut_center(out->text, out->len, text.data(), text.size());
  return int(std::min<size_t>(text.size(), out->len));
}

void la_set_sep_source(LaSepSource source) { g_sep_source = source; }

void la_get_dec_sep_cur() {
  char dec = '.', thou = ',', cur[4] = {'$', ' ', ' ', ' '};
  if (g_sep_source) {
    char d = dec, t = thou, c[4];
    std::memcpy(c, cur, 4);
    if (g_sep_source(com.cur_app.str().c_str(), &d, &t, c) && d != ' ' && d != 0 && d != t) {
      dec = d;
      thou = t;
      std::memcpy(cur, c, 4);
    }
  }
  com.dec_sep = uint8_t(dec);
  com.thou_sep = uint8_t(thou);
  com.currency.set(std::string_view(cur, 4));
}

// ========================================================== the catalogue --

std::string la_source_dir() {
  const char* env = std::getenv("QUVO_MSG_SRC");
  if (env && *env) return env;
  return std::string(QUVO_SOURCE_DIR) + "/data/messages";
}

bool la_read_source(const std::string& path, std::vector<LaSourceMsg>* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot be read";
    return false;
  }
  std::set<uint32_t> seen;
  std::string line;
  int no = 0;
  while (std::getline(in, line)) {
    ++no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos || line[first] == '#') continue;
    LaSourceMsg m;
    std::string why;
    if (!parse_line(line, &m, &why)) {
      if (error) *error = path + ":" + std::to_string(no) + ": " + why;
      return false;
    }
    if (!seen.insert(m.number).second) {
      if (error) *error = path + ":" + std::to_string(no) + ": message " + std::to_string(m.number) + " given twice";
      return false;
    }
    m.line = no;
    out->push_back(std::move(m));
  }
  return true;
}

void la_msg_fdb(FmFdb* fdb, int fclass) {
  MmPool pool = la_pool();
  // The descriptors are copied by the open; they live in the pool for good.
  static FmKdb* kdb = nullptr;
  if (!kdb) {
    auto* segs = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), 2));
    kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb)));
    init_sdb_func(&segs[0], 1, offsetof(LaMsgRec, lang), sizeof(LaMsgRec::lang), FM_SEG_ALPHA, '+');
    init_sdb_func(&segs[1], 2, offsetof(LaMsgRec, number), sizeof(LaMsgRec::number), FM_SEG_BINARY, '+');
    INIT_KDB(kdb, 0, '+', 8, segs, 2);
  }
  INIT_FDB(fdb, fclass, int(sizeof(LaMsgRec)), 0, kdb, 1);
  INIT_LA_PATH(fdb, "00", "MESSAGE", FM_PT_DATA);
}

int la_load_messages(FmArb* file, const std::string& dir, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<fs::path> sources;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.path().extension() == ".txt") sources.push_back(e.path());
  if (ec || sources.empty()) {
    if (error) *error = dir + ": no message sources";
    return -1;
  }
  std::sort(sources.begin(), sources.end());
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(la_pool(), sizeof(LaMsgRec)));
  int count = 0;
  for (const fs::path& p : sources) {
    std::string lang = p.stem().string();
    std::transform(lang.begin(), lang.end(), lang.begin(), [](char c) { return char(std::toupper(uint8_t(c))); });
    if (lang.size() > 3) {
      if (error) *error = p.string() + ": a language id has at most 3 characters";
      mm_free(buf);
      return -1;
    }
    std::vector<LaSourceMsg> msgs;
    if (!la_read_source(p.string(), &msgs, error)) {
      mm_free(buf);
      return -1;
    }
    for (const LaSourceMsg& m : msgs) {
      LaMsgRec& r = rec::view<LaMsgRec>(buf);
      std::memset(buf, 0, sizeof r);
      r.lang.set(lang);
      r.number = m.number;
      PROTO_FULL(file, 0, buf);
      file->op = uint16_t(FM_OP_EQUAL | FM_OP_HOLD);
      bool exists = fm_read(file);
      std::memset(buf, 0, sizeof r);
      r.lang.set(lang);
      r.number = m.number;
      r.severity = uint8_t(m.severity);
      r.origin = uint8_t(m.origin);
      r.length = uint16_t(m.text.size());
      std::memset(r.text.data(), ' ', 256);
      std::memcpy(r.text.data(), m.text.data(), m.text.size());
      file->op = 0;
      file->rec_len = 0;
      if (!(exists ? fm_rewrite(file) : fm_write(file))) {
        if (error)
          *error = p.string() + ":" + std::to_string(m.line) + ": MESSAGE write failed, status " +
                   std::to_string(file->status.get());
        mm_free(buf);
        return -1;
      }
      ++count;
    }
  }
  mm_free(buf);
  return count;
}

int la_install_messages(std::string* error) {
  FmFdb fdb;
  la_msg_fdb(&fdb, FM_CLASS_DISK);
  if (!FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR | FM_OPT_CREATE, 0, 0)) {
    if (error) {
      *error = "the MESSAGE file of 0LA cannot be opened or created, status " + std::to_string(fdb.status.get());
      if (fdb.status.get() == 200650 && !g_sys_err.empty()) *error += " (" + g_sys_err + ")";
    }
    return 0;
  }
  FmArb* f = fdb.handle.get();
  int n = la_load_messages(f, la_source_dir(), error);
  FM_CLOSE(f, 0);
  la_reset();
  return n > 0 ? 1 : 0;
}

void la_reset() {
  if (g_cat.file && !catalogue_gone(g_cat.file)) FM_CLOSE(g_cat.file, g_cat.memory ? FM_CL_SCRATCH : 0);
  g_cat.file = nullptr;
  g_cat.memory = false;
  g_cat.tried = false;
  g_cat.status = 200340;
  g_cat.os_err = 0;
}

// ============================================================ start-up --
namespace {

int (*g_next_bootstrap)() = nullptr;

// The message step of the set-up of a data directory (`quvo -b`), then the
// bootstrap steps registered before it. While the engine has no native
// record files the data directory cannot hold a MESSAGE file; the engine
// then reads the sources, and the step says so without failing the others.
int la_bootstrap() {
  std::string error;
  if (la_install_messages(&error)) {
    std::printf("messages: loaded into %s\n", os_data_dir());
  } else if (error.find("no back end") != std::string::npos) {
    std::printf("messages: native record files are not built yet; the engine reads %s\n",
                la_source_dir().c_str());
  } else {
    std::fprintf(stderr, "quvo: messages: %s\n", error.c_str());
    return kExitInitFailed;
  }
  std::fflush(stdout);
  return g_next_bootstrap ? g_next_bootstrap() : kExitNormal;
}

int cv_init_step() {
  cv_init();
  return 1;
}

}  // namespace

void la_register() {
  os_set_init(OsInit::Cv, cv_init_step);
  if (os_hooks.bootstrap != la_bootstrap) {
    g_next_bootstrap = os_hooks.bootstrap;
    os_hooks.bootstrap = la_bootstrap;
  }
}

bool la_show_msg_line(const char* text) {
  if (!g_msg_line || !com.screen_up) return false;
  g_msg_line(text ? text : "");
  return true;
}
