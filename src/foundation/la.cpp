// The message catalogue: message texts with their labels and parameters (the
// MESSAGE file of "0LA" and the queue files through the file manager's
// LaFiles), the message sources and the separators of numbers.
#include "foundation/la.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {

LaLookup g_lookup = nullptr;
LaMsgLine g_msg_line = nullptr;
LaSepSource g_sep_source = nullptr;
const LaFiles* g_files = nullptr;
std::string g_sys_err;

// The catalogue: the file manager's open MESSAGE file (the data directory's,
// or a memory copy of the sources), opened on the first look-up.
struct Catalogue {
  bool open = false;
  bool tried = false;
  bool busy = false;          // a look-up is running (system errors inside it)
  uint32_t status = 200340;   // why there is no catalogue
  int os_err = 0;
} g_cat;

std::string language() {
  std::string l = com.language.str();
  return l.empty() ? std::string("ENG") : l;
}

void open_catalogue() {
  if (g_cat.open && !(g_files && g_files->is_open())) {
    // Closed under us (the file manager shut down): open it again.
    g_cat.open = false;
    g_cat.tried = false;
  }
  if (g_cat.open || g_cat.tried || !g_files) return;
  g_cat.tried = true;
  g_cat.busy = true;
  // Opening may leave a reason as the system-error text; the caller's stays.
  struct Restore {
    std::string& to;
    std::string from;
    ~Restore() { to = from; }
  } restore{g_sys_err, g_sys_err};
  g_cat.open = g_files->open(&g_cat.status, &g_cat.os_err) == 1;
  g_cat.busy = false;
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
  if (!g_cat.open) {
    *status = g_cat.status;
    *os_err = g_cat.os_err;
    return false;
  }
  g_cat.busy = true;
  LaMsgRec r;
  std::string lang = language();
  bool ok = g_files->read(lang, msg, &r, status, os_err) ||
            (lang != "ENG" && g_files->read("ENG", msg, &r, status, os_err));
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
  FmArb* queue = g_files ? g_files->create_queue(reclen, scope) : nullptr;
  if (!queue) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "la_create_fi() - create failed");
    os_sys_err("LA", __LINE__);
  }
  return queue;
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
  if (bad || !g_files) {
    // Without the file manager there is no queue file to write to.
    std::snprintf(ut_dbg, sizeof ut_dbg, "la_add_msg() - bad arg");
    os_sys_err("LA", __LINE__);
    return 0;
  }
  return g_files->add_msg(queue, msg, key, params);
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

void la_reset() {
  if (g_cat.open && g_files && g_files->is_open()) g_files->close();
  g_cat.open = false;
  g_cat.tried = false;
  g_cat.status = 200340;
  g_cat.os_err = 0;
}

std::string la_labelled(uint32_t msg, int* severity) { return labelled(msg, severity); }
std::string la_substitute(const std::string& text, const std::vector<std::string>& params) {
  return substitute(text, params);
}

void la_set_files(const LaFiles* files) {
  if (files == g_files) return;
  la_reset();
  g_files = files;
}

bool la_show_msg_line(const char* text) {
  if (!g_msg_line || !com.screen_up) return false;
  g_msg_line(text ? text : "");
  return true;
}
