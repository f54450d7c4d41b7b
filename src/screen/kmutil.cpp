// Keymaps: option names, the stored record, the store, the source compiler
// and installer, and the keymap utility run mode.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "screen/km.h"
#include "screen/tm.h"
#include "screen/wmrec.h"

const char* const kKmMissingText = "Keymap Missing for this Terminal/User";

// ---------------------------------------------------------- option names --
const std::vector<KmOptionName>& km_option_names() {
  static const std::vector<KmOptionName> names = {
      {"SCAN", opt::kScan}, {"SELECT KEY", opt::kSelectKey}, {"BACK", opt::kBack},
      {"NEXT RECORD", opt::kNext}, {"ADD MODE", opt::kAddMode}, {"DELETE MODE", opt::kDeleteMode},
      {"INQUIRE MODE", opt::kInquireMode}, {"CHANGE MODE", opt::kChangeMode},
      {"ENTRY ATTRIBUTES", opt::kEntryAttrs}, {"DIRECT PROCESS 1", opt::kDirect1},
      {"DIRECT PROCESS 2", opt::kDirect2}, {"END", opt::kEnd}, {"HELP", opt::kHelp},
      {"CANCEL", opt::kCancel}, {"MESSAGE", opt::kMessage}, {"HELP ON OPT", opt::kHelpOpt},
      {"ENTER", opt::kEnter}, {"DELETE CONFIRM", opt::kDeleteAck}, {"TOP", opt::kTop},
      {"BOTTOM", opt::kBottom}, {"PAGE UP", opt::kPageUp}, {"PAGE DOWN", opt::kPageDown},
      {"LINE DOWN", opt::kLineDown}, {"LINE UP", opt::kLineUp}, {"NO ACTION", opt::kNoAction},
      {"PAN UP", opt::kPanUp}, {"PAN DOWN", opt::kPanDown}, {"PAN LEFT", opt::kPanLeft},
      {"PAN RIGHT", opt::kPanRight}, {"PAN PAGE UP", opt::kPanPageUp}, {"PAN PAGE DOWN", opt::kPanPageDown},
      {"PAN TOP", opt::kPanTop}, {"PAN BOTTOM", opt::kPanBottom}, {"PAN PAGE LEFT", opt::kPanPageLeft},
      {"PAN PAGE RIGHT", opt::kPanPageRight}, {"PAN FAR LEFT", opt::kPanFarLeft},
      {"PAN FAR RIGHT", opt::kPanFarRight}, {"PAN HOME", opt::kPanHome},
      {"CURSOR LEFT", opt::kLeft}, {"CURSOR RIGHT", opt::kRight}, {"CURSOR UP", opt::kUp},
      {"CURSOR DOWN", opt::kDown}, {"NEXT FIELD", opt::kNextField}, {"PREVIOUS FIELD", opt::kPrevField},
      {"FIELD START", opt::kFieldStart}, {"FIELD END", opt::kFieldEnd}, {"DELETE CHAR", opt::kDelChar},
      {"BACKSPACE", opt::kBackspace}, {"INSERT TOGGLE", opt::kInsToggle}, {"CLEAR TO END", opt::kClearEnd},
      {"CLEAR FIELD", opt::kClearField}, {"NEXT WORD", opt::kNextWord}, {"PREVIOUS WORD", opt::kPrevWord},
      {"DELETE WORD", opt::kDelWord}, {"FIRST FIELD", opt::kFirstField}, {"LAST FIELD", opt::kLastField},
      {"NEW LINE", opt::kNewLine}, {"RESTORE FIELD", opt::kRestore}, {"INSERT SPACE", opt::kInsSpace},
      {"DELETE TO START", opt::kDelStart}, {"CASE TOGGLE", opt::kCaseToggle}, {"REDRAW", opt::kRedraw},
      {"INSERT ON", opt::kInsOn}, {"INSERT OFF", opt::kInsOff}, {"LITERAL NEXT", opt::kLiteral},
  };
  return names;
}

std::string km_option_name(uint32_t code) {
  if (code & kKmChar) return std::string("'") + char(code & 0xFF) + "'";
  for (const auto& n : km_option_names())
    if (n.code == code) return n.name;
  if (code <= 255) return "OPTION " + std::to_string(code);
  return std::to_string(code);
}

namespace {
std::string normalise(std::string_view s) {
  std::string out;
  bool space = false;
  for (char c : s) {
    if (c == '_' || c == '-' || c == ' ' || c == '\t') {
      space = !out.empty();
      continue;
    }
    if (space) out.push_back(' ');
    space = false;
    out.push_back(char(std::toupper(uint8_t(c))));
  }
  return out;
}
}  // namespace

int km_option_code(std::string_view text) {
  std::string n = normalise(text);
  if (n.empty()) return -1;
  if (std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (n.size() > 5) return -1;
    long v = std::strtol(n.c_str(), nullptr, 10);
    return v <= 65535 ? int(v) : -1;
  }
  if (n.rfind("OPTION ", 0) == 0) return km_option_code(n.substr(7));
  for (const auto& o : km_option_names())
    if (n == o.name) return o.code;
  return -1;
}

// ------------------------------------------------------------- records --
namespace {
uint32_t fnv1a(const uint8_t* p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 16777619u;
  }
  return h;
}
}  // namespace

std::vector<uint8_t> km_encode(const Keymap& km) {
  std::vector<uint8_t> out(sizeof(KmHead), 0);
  uint32_t count = 0;
  for (const TrieEntry* e : km.trie.entries()) {
    if (e->seq.empty() || e->seq.size() > kKmMaxSeq || e->values.empty() || e->values.size() > kKmMaxValues) continue;
    KmEntryHead h;
    h.seq_len = uint8_t(e->seq.size());
    h.nvalues = uint8_t(e->values.size());
    out.insert(out.end(), h.seq_len.b, h.seq_len.b + 1);
    out.insert(out.end(), h.nvalues.b, h.nvalues.b + 1);
    out.insert(out.end(), e->seq.begin(), e->seq.end());
    for (uint32_t v : e->values) {
      rec::U32 u;
      u.set(v);
      out.insert(out.end(), u.b, u.b + 4);
    }
    ++count;
  }
  KmHead& head = rec::view<KmHead>(out.data());
  head.magic.set("QVKM");
  head.version = kKmVersion;
  head.origin = km.recorded ? 1 : 0;
  head.esc_delay = uint16_t(std::clamp(km.esc_delay, 0, 2000));
  head.term.set(km.term);
  head.user.set(km.user);
  head.count = count;
  head.length = uint32_t(out.size());
  head.checksum = fnv1a(out.data() + sizeof(KmHead), out.size() - sizeof(KmHead));
  return out;
}

bool km_decode(const uint8_t* rec, size_t len, Keymap* out, std::string* why) {
  auto fail = [&](const std::string& w) {
    if (why) *why = w;
    return false;
  };
  if (!rec || len < sizeof(KmHead)) return fail("the record is too short");
  const KmHead& h = rec::view<KmHead>(rec);
  if (!(h.magic == "QVKM")) return fail("the record is not a keymap");
  if (h.version.get() != kKmVersion) return fail("keymap version " + std::to_string(h.version.get()) + " is unknown");
  if (h.length.get() != len) return fail("the record length does not match");
  if (h.checksum.get() != fnv1a(rec + sizeof(KmHead), len - sizeof(KmHead))) return fail("the checksum does not match");
  if (h.count.get() > 65536) return fail("too many keys");
  Keymap km;
  km.term = h.term.str();
  km.user = h.user.str();
  km.esc_delay = h.esc_delay.get() <= 2000 ? h.esc_delay.get() : kKmDefaultDelay;
  km.recorded = h.origin.get() == 1;
  size_t at = sizeof(KmHead);
  for (uint32_t i = 0; i < h.count.get(); ++i) {
    if (at + sizeof(KmEntryHead) > len) return fail("key " + std::to_string(i + 1) + " is cut short");
    const KmEntryHead& e = rec::view<KmEntryHead>(rec + at);
    size_t sl = e.seq_len.get(), nv = e.nvalues.get();
    if (sl < 1 || sl > kKmMaxSeq || nv < 1 || nv > kKmMaxValues)
      return fail("key " + std::to_string(i + 1) + " has a bad length");
    at += sizeof(KmEntryHead);
    if (at + sl + 4 * nv > len) return fail("key " + std::to_string(i + 1) + " is cut short");
    std::string seq(reinterpret_cast<const char*>(rec + at), sl);
    at += sl;
    std::vector<uint32_t> vals;
    for (size_t j = 0; j < nv; ++j, at += 4) {
      uint32_t v = rec::view<rec::U32>(rec + at).get();
      if (v > 0xFFFF && (v & ~uint32_t(0xFF)) != kKmChar)
        return fail("key " + std::to_string(i + 1) + " has a bad value");
      vals.push_back(v);
    }
    km.trie.add(seq, std::move(vals));
  }
  if (at != len) return fail("bytes follow the last key");
  *out = std::move(km);
  return true;
}

// --------------------------------------------------------------- store --
namespace {
std::string file_name(std::string_view term, std::string_view user) {
  auto enc = [](std::string_view s) {
    std::string o;
    char buf[4];
    for (char c : s) {
      uint8_t b = uint8_t(c);
      if (std::isalnum(b) || c == '-' || c == '_' || c == '+' || c == '.') {
        o.push_back(c);
      } else {
        std::snprintf(buf, sizeof buf, "%%%02X", b);
        o += buf;
      }
    }
    return o;
  };
  return enc(term) + "." + (user.empty() ? std::string("ALL") : "U" + enc(user)) + ".key";
}

// The store's files: created under a fresh name (uio_create: O_EXCL, mode
// 0660 whatever the umask, with the data directory's group), then renamed
// over the record's name; never reached through a symbolic link in any
// component, read only when they are regular files of at most kKmMaxFile
// bytes. The store's directory is made as every directory of the engine
// (uio_mkdir: 3770), so no member replaces another's keymap.
class DirStore : public KmStore {
 public:
  explicit DirStore(std::string dir) : dir_(std::move(dir)) {}
  std::string dir() const {
    if (!dir_.empty()) return dir_;
    const char* p = std::getenv("QUVOPATH");
    return p ? p : "";
  }
  bool get(std::string_view term, std::string_view user, std::vector<uint8_t>* rec, std::string* why) override {
    std::string d = dir();
    if (d.empty()) return false;
    std::string name = file_name(term, user);
    int fd = uio_open((d + "/keymaps/" + name).c_str(), O_RDONLY);
    if (fd < 0) {
      if (errno == EINVAL) {
        if (why) *why = name + " is not a regular file";
      } else if (errno != ENOENT && why) {
        *why = name + ": " + std::strerror(errno);
      }
      return false;
    }
    int64_t size = uio_size(fd);
    if (size < 0 || size > int64_t(kKmMaxFile)) {
      if (why) *why = name + " is larger than a keymap can be";
      uio_close(fd);
      return false;
    }
    rec->resize(size_t(size));
    ssize_t got = uio_pread(fd, rec->data(), rec->size(), 0);
    uio_close(fd);
    rec->resize(got > 0 ? size_t(got) : 0);
    return true;
  }
  bool put(std::string_view term, std::string_view user, const std::vector<uint8_t>& rec,
           std::string* err) override {
    std::string d = dir();
    auto fail = [&](const std::string& what, int e) {
      if (err) *err = what + ": " + std::strerror(e);
      return false;
    };
    if (d.empty()) {
      if (err) *err = "QUVOPATH is not set: the data directory is unknown";
      return false;
    }
    struct stat ds;
    if (stat(d.c_str(), &ds) != 0) return fail("cannot reach the data directory " + d, errno);
    std::string kd = d + "/keymaps";
    if (int e = uio_mkdir(kd.c_str()); e && e != EEXIST) return fail("cannot make " + kd, e);
    std::string name = file_name(term, user), tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
      // A name no one can foresee: one planted ahead is never opened.
      uint64_t r = 0;
      if (getrandom(&r, sizeof r, 0) != ssize_t(sizeof r)) r = uint64_t(std::rand()) * 2654435761u + uint64_t(attempt);
      char suffix[48];
      std::snprintf(suffix, sizeof suffix, ".new%ld.%016llx", long(getpid()), static_cast<unsigned long long>(r));
      tmp = kd + "/" + name + suffix;
      fd = uio_create(tmp.c_str());
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return fail("cannot write in " + kd, errno);
    int e = uio_pwrite(fd, rec.data(), rec.size(), 0);
    if (!e && fsync(fd) != 0) e = errno;
    uio_close(fd);
    if (!e) e = uio_rename(tmp.c_str(), (kd + "/" + name).c_str());
    if (e) {
      uio_unlink(tmp.c_str());
      return fail("cannot write " + kd + "/" + name, e);
    }
    return true;
  }
  int writable(std::string* why) override {
    std::string d = dir();
    if (d.empty()) {
      *why = "QUVOPATH is not set: the data directory is unknown";
      return 0;
    }
    std::string kd = d + "/keymaps";
    struct stat st;
    std::string at = uio_lstat(kd.c_str(), &st) == 0 ? kd : d;
    if (at == kd && !S_ISDIR(st.st_mode)) {
      *why = kd + " is not a directory";
      return 0;
    }
    if (access(at.c_str(), W_OK | X_OK) != 0) {
      *why = "you may not write in " + at + " (" + std::strerror(errno) + "): ask its owner to add you to its group";
      return 0;
    }
    return 1;
  }
  std::string unreadable() override {
    std::string d = dir();
    if (d.empty()) return "";
    std::string kd = d + "/keymaps";
    int dfd = open(kd.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int e = errno;
    if (dfd >= 0) {
      bool search = faccessat(dfd, ".", X_OK, AT_EACCESS) == 0;
      e = errno;
      close(dfd);
      if (search) return "";
    } else if (e == ENOENT) {
      return "";  // no store: there is no keymap (the data directory check says why)
    }
    std::string why = "the keymap store " + kd + " cannot be read: " + std::strerror(e);
    struct stat st;
    if (e == EACCES && stat(kd.c_str(), &st) == 0) {
      passwd* pw = getpwuid(st.st_uid);
      group* gr = getgrgid(st.st_gid);
      why += "\n(you need read and search permission on it: its owner, " +
             (pw ? std::string(pw->pw_name) : std::to_string(st.st_uid)) + ", can add you to its group " +
             (gr ? std::string(gr->gr_name) : std::to_string(st.st_gid)) + " and run chmod g+rx " + kd + ")";
    }
    return why;
  }

 private:
  std::string dir_;
};

KmStore* g_store = nullptr;
}  // namespace

KmStore& km_store() {
  static DirStore dflt("");
  return g_store ? *g_store : dflt;
}
void km_set_store(KmStore* store) { g_store = store; }
std::unique_ptr<KmStore> km_dir_store(const std::string& data_dir) { return std::make_unique<DirStore>(data_dir); }

int km_find(std::string_view term, std::string_view user, Keymap* out, std::string* why) {
  if (why) why->clear();
  std::vector<std::string_view> users;
  if (!user.empty()) users.push_back(user);
  users.push_back(std::string_view());
  std::string damaged;
  for (std::string_view u : users) {
    std::vector<uint8_t> rec;
    std::string w;
    if (!km_store().get(term, u, &rec, &w) && w.empty()) continue;
    if (w.empty() && km_decode(rec.data(), rec.size(), out, &w)) return 1;
    if (damaged.empty())
      damaged = "The keymap of terminal " + std::string(term) + " for " +
                (u.empty() ? std::string("every user") : "user " + std::string(u)) + " is damaged: " + w;
  }
  if (why) *why = damaged;
  return 0;
}

std::string km_user() { return std::string(os_uid()); }

namespace {
// A terminal type without cursor addressing (dumb, a printing terminal)
// cannot show the engine's screens.
std::string km_no_full_screen(const char* term) {
  return std::string("the terminal type TERM=") + term +
         " cannot run full-screen\n"
         "(its terminfo entry has no cursor addressing): set TERM to the type of your\n"
         "terminal (xterm-256color, for example)";
}
}  // namespace

int km_for_terminal(Keymap* km, std::string* why) {
  why->clear();
  const char* term = std::getenv("TERM");
  if (!term || !*term) {
    *why = "TERM is not set: the terminal type is unknown";
    return kExitInitFailed;
  }
  std::map<std::string, std::string> caps;
  if (!tm_terminfo(term, {"cup"}, &caps)) {
    *why = std::string("the terminal type TERM=") + term +
           " has no terminfo entry on this machine: set TERM to the type of your terminal\n"
           "(xterm-256color, for example) or install its entry";
    return kExitInitFailed;
  }
  if (!caps.count("cup")) {
    *why = km_no_full_screen(term);
    return kExitInitFailed;
  }
  if (std::string store = km_store().unreadable(); !store.empty()) {
    *why = store;
    return kExitInitFailed;
  }
  std::string user = km_user(), damaged;
  if (km_find(term, user, km, &damaged)) return 0;
  *why = (damaged.empty() ? "" : damaged + "\n") + kKmMissingText + "\n" + "There is no keymap for terminal type " +
         term + " and user " + user + "; record one with: " + os_prog() + " -k";
  return kExitNoKeymap;
}

// ------------------------------------------------------------- source --
namespace {
struct Tok {
  bool quoted;
  std::string text;  // a quoted token: its bytes, escapes decoded
};

bool tokenise(std::string_view line, std::vector<Tok>* out, std::string* err) {
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '#') break;
    if (c == '"') {
      std::string s;
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d == '^' && i < line.size()) {
          char e = line[i++];
          if (e == '?') s.push_back(char(127));
          else s.push_back(char(std::toupper(uint8_t(e)) & 0x1F));
          continue;
        }
        if (d != '\\' || i >= line.size()) {
          s.push_back(d);
          continue;
        }
        char e = line[i++];
        switch (e) {
          case 'e': case 'E': s.push_back('\x1b'); break;
          case 'r': s.push_back('\r'); break;
          case 'n': s.push_back('\n'); break;
          case 't': s.push_back('\t'); break;
          case 'x': {
            int v = 0, n = 0;
            while (n < 2 && i < line.size() && std::isxdigit(uint8_t(line[i]))) {
              v = v * 16 + (std::isdigit(uint8_t(line[i])) ? line[i] - '0' : (std::toupper(uint8_t(line[i])) - 'A' + 10));
              ++i;
              ++n;
            }
            if (n == 0) {
              *err = "\\x needs hexadecimal digits";
              return false;
            }
            s.push_back(char(v));
            break;
          }
          default: s.push_back(e); break;  // \\ \" \^ and the rest stand for themselves
        }
      }
      if (!closed) {
        *err = "a quoted text is not closed";
        return false;
      }
      out->push_back({true, s});
      continue;
    }
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '"' && line[j] != '#' && line[j] != '\r')
      ++j;
    out->push_back({false, std::string(line.substr(i, j - i))});
    i = j;
  }
  return true;
}

bool is_cap_name(const std::string& s) {
  if (s.empty() || !std::isalpha(uint8_t(s[0]))) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return std::isalnum(uint8_t(c)) != 0; });
}

std::string read_file(const std::string& path, bool* ok) {
  std::ifstream f(path, std::ios::binary);
  *ok = bool(f);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct SrcLine {
  std::string file;
  int line;
  std::vector<Tok> toks;
};

// Reads a source into lines of tokens, following include lines.
bool gather(std::string_view text, const std::string& dir, const std::string& file, int depth,
            std::vector<SrcLine>* out, std::string* err) {
  if (depth > 8) {
    *err = file + ": includes nest too deep";
    return false;
  }
  std::istringstream in{std::string(text)};
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    std::vector<Tok> toks;
    std::string e;
    if (!tokenise(line, &toks, &e)) {
      *err = file + ":" + std::to_string(n) + ": " + e;
      return false;
    }
    if (toks.empty()) continue;
    if (!toks[0].quoted && toks[0].text == "include") {
      if (toks.size() != 2) {
        *err = file + ":" + std::to_string(n) + ": include needs one file name";
        return false;
      }
      bool ok;
      std::string inc = read_file(dir + "/" + toks[1].text, &ok);
      if (!ok) {
        *err = file + ":" + std::to_string(n) + ": cannot read " + toks[1].text;
        return false;
      }
      if (!gather(inc, dir, toks[1].text, depth + 1, out, err)) return false;
      continue;
    }
    out->push_back({file, n, std::move(toks)});
  }
  return true;
}
}  // namespace

std::vector<std::string> km_source_terms(std::string_view text) {
  std::vector<std::string> terms;
  std::istringstream in{std::string(text)};
  std::string line;
  while (std::getline(in, line)) {
    std::vector<Tok> toks;
    std::string e;
    if (!tokenise(line, &toks, &e) || toks.empty() || toks[0].quoted || toks[0].text != "terminals") continue;
    for (size_t i = 1; i < toks.size(); ++i) terms.push_back(toks[i].text);
  }
  return terms;
}

bool km_compile_source(std::string_view text, const std::string& dir, const std::string& file,
                       const std::string& term, Keymap* out, std::string* err) {
  std::vector<SrcLine> lines;
  if (!gather(text, dir, file, 0, &lines, err)) return false;
  std::vector<std::string> caps;
  for (const SrcLine& l : lines)
    if (!l.toks[0].quoted && is_cap_name(l.toks[0].text) && l.toks[0].text != "terminals" &&
        l.toks[0].text != "delay")
      caps.push_back(l.toks[0].text);
  std::map<std::string, std::string> ti;
  if (!tm_terminfo(term, caps, &ti)) {
    *err = "no terminfo entry for terminal type \"" + term + "\"";
    return false;
  }
  Keymap km;
  km.term = term;
  for (const SrcLine& l : lines) {
    auto where = [&] { return l.file + ":" + std::to_string(l.line) + ": "; };
    const Tok& k = l.toks[0];
    if (!k.quoted && k.text == "terminals") continue;
    if (!k.quoted && k.text == "delay") {
      // Digits only: an option name is no number of milliseconds.
      const std::string& ms = l.toks.size() == 2 ? l.toks[1].text : k.text;
      if (l.toks.size() != 2 || !std::all_of(ms.begin(), ms.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
          km_option_code(ms) < 0) {
        *err = where() + "delay needs a number of milliseconds";
        return false;
      }
      km.esc_delay = std::min(2000, km_option_code(l.toks[1].text));
      continue;
    }
    if (l.toks.size() < 2) {
      *err = where() + "a key needs an option";
      return false;
    }
    std::string seq;
    if (k.quoted) {
      seq = k.text;
    } else if (k.text.size() == 2 && k.text[0] == '^') {
      seq = k.text[1] == '?' ? std::string(1, char(127)) : std::string(1, char(std::toupper(uint8_t(k.text[1])) & 0x1F));
    } else if (is_cap_name(k.text)) {
      auto it = ti.find(k.text);
      if (it == ti.end()) continue;  // this terminal has no such key
      seq = it->second;
    } else {
      *err = where() + "\"" + k.text + "\" is not a key";
      return false;
    }
    if (seq.empty() || seq.size() > kKmMaxSeq) {
      *err = where() + "a key sequence must have 1 to 32 bytes";
      return false;
    }
    std::vector<uint32_t> vals;
    for (size_t i = 1; i < l.toks.size();) {
      if (l.toks[i].quoted) {
        for (char c : l.toks[i].text) vals.push_back(kKmChar | uint8_t(c));
        ++i;
        continue;
      }
      // The longest run of words that names an option.
      size_t best = 0;
      int code = -1;
      for (size_t n = std::min<size_t>(4, l.toks.size() - i); n >= 1; --n) {
        bool words = true;
        std::string name;
        for (size_t j = 0; j < n; ++j) {
          if (l.toks[i + j].quoted) words = false;
          name += (j ? " " : "") + l.toks[i + j].text;
        }
        if (!words) continue;
        int c = km_option_code(name);
        if (c >= 0) {
          best = n;
          code = c;
          break;
        }
      }
      if (code < 0) {
        *err = where() + "\"" + l.toks[i].text + "\" is not an option";
        return false;
      }
      vals.push_back(uint32_t(code));
      i += best;
    }
    if (vals.empty() || vals.size() > kKmMaxValues) {
      *err = where() + "a key gives 1 to 64 values";
      return false;
    }
    km.trie.add(seq, std::move(vals));
  }
  *out = std::move(km);
  return true;
}

int km_install(const std::string& dir, KmStore& store, std::string* log, std::string* err) {
  DIR* d = opendir(dir.c_str());
  if (!d) {
    *err = "cannot read the keymap sources in " + dir;
    return -1;
  }
  std::vector<std::string> files;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 3 && n.compare(n.size() - 3, 3, ".km") == 0) files.push_back(n);
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  int written = 0;
  for (const std::string& f : files) {
    bool ok;
    std::string text = read_file(dir + "/" + f, &ok);
    if (!ok) {
      *err = "cannot read " + f;
      return -1;
    }
    for (const std::string& term : km_source_terms(text)) {
      Keymap km;
      std::string e;
      if (!km_compile_source(text, dir, f, term, &km, &e)) {
        if (e.rfind("no terminfo entry", 0) == 0) {
          if (log) *log += f + ": " + term + ": skipped, " + e + "\n";
          continue;
        }
        *err = e;
        return -1;
      }
      // A keymap someone recorded with the keymap utility stays.
      std::vector<uint8_t> old;
      Keymap was;
      if (store.get(term, "", &old, nullptr) && km_decode(old.data(), old.size(), &was, nullptr) && was.recorded) {
        if (log) *log += f + ": " + term + ": kept the keymap recorded with -k\n";
        continue;
      }
      if (!store.put(term, "", km_encode(km), &e)) {
        *err = e;
        return -1;
      }
      if (log) *log += f + ": " + term + ": " + std::to_string(km.trie.size()) + " keys\n";
      ++written;
    }
  }
  return written;
}

// ------------------------------------------------------------- utility --
namespace {
const uint16_t kRecordList[] = {
    opt::kEnter, opt::kEnd, opt::kCancel, opt::kHelp, opt::kHelpOpt, opt::kScan, opt::kSelectKey,
    opt::kBack, opt::kNext, opt::kAddMode, opt::kDeleteMode, opt::kInquireMode, opt::kChangeMode,
    opt::kDeleteAck, opt::kEntryAttrs, opt::kDirect1, opt::kDirect2, opt::kMessage, opt::kTop, opt::kBottom, opt::kPageUp, opt::kPageDown, opt::kLineUp,
    opt::kLineDown, opt::kUp, opt::kDown, opt::kLeft, opt::kRight, opt::kNextField, opt::kPrevField,
    opt::kFieldStart, opt::kFieldEnd, opt::kBackspace, opt::kDelChar, opt::kInsToggle, opt::kClearEnd,
    opt::kClearField, opt::kRedraw, opt::kPanUp, opt::kPanDown, opt::kPanLeft, opt::kPanRight,
};

std::string show_seq(const std::string& s) {
  std::string o;
  char buf[8];
  for (char c : s) {
    uint8_t b = uint8_t(c);
    if (b == 27) o += "\\e";
    else if (b == 127) o += "^?";
    else if (b < 32) {
      o.push_back('^');
      o.push_back(char(b + 64));
    } else if (b == ' ') o += "\\s";
    else if (b < 127) o.push_back(c);
    else {
      std::snprintf(buf, sizeof buf, "\\x%02X", b);
      o += buf;
    }
  }
  return o;
}

class Screen {
 public:
  explicit Screen(TmDriver* d) : d_(d) { d_->size(&rows_, &cols_); }
  void clear() { lines_.assign(size_t(rows_), std::string()); }
  void line(int row, const std::string& s) {
    if (row >= 1 && row <= rows_) lines_[size_t(row - 1)] = s;
  }
  void show(int cur_row, int cur_col) {
    for (int r = 1; r <= rows_; ++r) {
      const std::string& s = lines_[size_t(r - 1)];
      for (int c = 1; c <= cols_; ++c) {
        TmCell cell;
        if (size_t(c - 1) < s.size()) cell.ch = uint8_t(s[size_t(c - 1)]);
        if (r == 1) cell.vis = tmv::kBold;
        d_->put(r, c, cell);
      }
    }
    d_->flush(std::min(cur_row, rows_), std::min(cur_col, cols_), false);
  }
  void resized() {
    d_->size(&rows_, &cols_);
    clear();
  }

 private:
  TmDriver* d_;
  int rows_ = 24, cols_ = 80;
  std::vector<std::string> lines_;
};

// The key capabilities of terminfo: the sequences the terminal's own keys
// send, besides those of the keymap.
const char* const kKeyCaps[] = {
    "kcuu1", "kcud1", "kcub1", "kcuf1", "khome", "kend", "kich1", "kdch1", "knp", "kpp", "kcbt", "kent", "kbs",
    "kLFT",  "kRIT",  "kHOM",  "kEND",  "kDC",   "kIC",  "kNXT",  "kPRV",  "ka1", "ka3", "kb2",  "kc1",  "kc3",
    "kbeg",  "kclr",  "kdl1",  "kel",   "kil1",  "kind", "kri",   "khlp",  "kund"};

// Every sequence a key of this terminal may send: the keymap's and the
// terminal's own.
KeyTrie known_keys(const std::string& term, const Keymap& km) {
  KeyTrie t;
  std::vector<std::string> caps(std::begin(kKeyCaps), std::end(kKeyCaps));
  for (int i = 0; i <= 63; ++i) caps.push_back("kf" + std::to_string(i));
  std::map<std::string, std::string> seqs;
  tm_terminfo(term, caps, &seqs);
  for (const auto& [cap, seq] : seqs)
    if (!seq.empty() && seq.size() <= kKmMaxSeq) t.add(seq, {opt::kNoAction});
  for (const TrieEntry* e : km.trie.entries()) t.add(e->seq, {opt::kNoAction});
  return t;
}

// A byte source over the driver with push-back.
class KeySource : public ByteSource {
 public:
  explicit KeySource(TmDriver* d) : d_(d) {}
  int read(int timeout_ms) override {
    if (!back_.empty()) {
      int b = uint8_t(back_[0]);
      back_.erase(0, 1);
      return b;
    }
    if (!events_.empty()) {
      int e = events_.front();
      events_.erase(events_.begin());
      return e;
    }
    return d_->read(timeout_ms);
  }
  void unread(std::string_view bytes) override { back_.insert(0, bytes); }
  void unread_event(int result) override { events_.push_back(result); }

 private:
  TmDriver* d_;
  std::string back_;
  std::vector<int> events_;
};

// True when the bytes are one character that a field takes (or a UTF-8
// character beyond those): such a key could never be typed again.
bool is_character(const KeyMatch& m, bool utf8) {
  if (m.kind == KeyMatch::Char) return true;
  if (m.kind != KeyMatch::Unknown || !utf8 || m.bytes.size() < 2) return false;
  uint8_t lead = uint8_t(m.bytes[0]);
  size_t n = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (n != m.bytes.size()) return false;
  for (size_t i = 1; i < n; ++i)
    if ((uint8_t(m.bytes[i]) & 0xC0) != 0x80) return false;
  return !(n == 2 && lead == 0xC2 && uint8_t(m.bytes[1]) < 0xA0);  // C1 controls are not characters
}

// Reads one key: the bytes of one key press, decided by the sequences the
// terminal and the keymap know (a sequence that continues a known one
// waits the keymap's delay for its next byte; an unknown escape sequence is
// taken whole), never by arrival time alone: keys typed together stay
// apart. Returns the match; a wait line goes to the log first.
KeyMatch capture(const KeyTrie& known, int delay, TmDriver* d, KeySource& src, FILE* log, int* waits) {
  if (log) {
    std::fprintf(log, "km_util wait %d\n", ++*waits);
    std::fflush(log);
  }
  return trie_read_key(known, -1, delay, d->utf8(), src);
}

// Stops the program as the terminal's suspend key does (the terminal is
// read raw, so CTRL-Z arrives as a byte) and takes the terminal back when
// it continues.
void suspend_self(TmDriver* d) {
  d->suspend();
  struct sigaction dfl{}, old{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGTSTP, &dfl, &old);
  raise(SIGTSTP);
  sigaction(SIGTSTP, &old, nullptr);
  d->resume();
}

}  // namespace

std::string km_source_dir() {
  const char* d = std::getenv("QUVO_KEYMAP_SRC");
  return d && *d ? d : std::string(QUVO_SOURCE_DIR) + "/data/keymaps";
}

int km_bootstrap() {
  std::string dir = km_source_dir();
  std::string log, err;
  int n = km_install(dir, km_store(), &log, &err);
  std::fputs(log.c_str(), stdout);
  if (n < 0) {
    std::fprintf(stderr, "quvo: keymaps: %s\n", err.c_str());
    return 1;
  }
  const char* qp = std::getenv("QUVOPATH");
  std::printf("keymaps: %d installed in %s/keymaps from %s\n", n, qp ? qp : "", dir.c_str());
  std::fflush(stdout);
  return 0;
}

int km_util_run() {
  const char* term = std::getenv("TERM");
  if (!term || !*term) {
    std::fprintf(stderr, "quvo: TERM is not set: the terminal type is unknown\n");
    return 1;
  }
  std::map<std::string, std::string> caps;
  if (!tm_terminfo(term, {"cup"}, &caps)) {
    std::fprintf(stderr, "quvo: the terminal type TERM=%s has no terminfo entry on this machine\n", term);
    return 1;
  }
  if (!caps.count("cup")) {
    std::fprintf(stderr, "quvo: %s\n", km_no_full_screen(term).c_str());
    return 1;
  }
  // Your own keymap; that of every user only when its owner asks (-k ALL).
  bool for_all = false;
  for (const std::string& p : os_cmd().params) {
    std::string up;
    for (char c : p) up += char(std::toupper(uint8_t(c)));
    if (up == "ALL") for_all = true;
    else {
      std::fprintf(stderr, "quvo: -k takes only ALL (the keymap of every user), not \"%s\"\n", p.c_str());
      return 1;
    }
  }
  if (for_all) {
    struct stat st;
    if (stat(os_data_dir(), &st) != 0 || (geteuid() != 0 && geteuid() != st.st_uid)) {
      struct passwd* pw = stat(os_data_dir(), &st) == 0 ? getpwuid(st.st_uid) : nullptr;
      std::fprintf(stderr,
                   "quvo: only the owner of the data directory%s%s%s may record the keymap of every user;\n"
                   "%s -k records yours\n",
                   pw ? " (" : "", pw ? pw->pw_name : "", pw ? ")" : "", os_prog());
      return 1;
    }
  }
  std::string user = for_all ? std::string() : km_user();
  // Before asking for any key: can the keymap be stored?
  std::string why;
  if (!km_store().writable(&why)) {
    std::fprintf(stderr, "quvo: a keymap cannot be recorded here: %s\n", why.c_str());
    return 1;
  }
  Keymap km;
  if (!km_find(term, user, &km, &why)) km = Keymap();
  km.term = term;
  km.user = user;
  km.recorded = true;
  KeyTrie known = known_keys(term, km);
  TmDriver* d = tm_curses();
  std::string err;
  if (!d->open(&err)) {
    std::fprintf(stderr, "quvo: cannot use the terminal: %s\n", err.c_str());
    return 1;
  }
  KeySource src(d);
  FILE* log = nullptr;
  log = os_open_log("QUVO_WM_LOG");
  int waits = 0;
  Screen scr(d);
  std::string who = user.empty() ? "every user" : "user " + user;
  const size_t total = sizeof kRecordList / sizeof kRecordList[0];
  int rc = 0;
  bool save = false, abandoned = false;
  std::string note;  // a key taken from another function, or a key refused
  for (size_t i = 0; i <= total && rc == 0;) {
    scr.clear();
    scr.line(1, "QUVO KEYMAP UTILITY");
    scr.line(2, "Terminal " + km.term + ", " + who);
    if (i == total) {
      scr.line(4, "Save this keymap? Y saves it, N leaves without saving.");
      if (!note.empty()) scr.line(12, note);
      scr.show(4, 57);
    } else {
      uint16_t code = kRecordList[i];
      // Every key that gives the function now (a key pressed here is added).
      std::string now;
      for (const TrieEntry* e : km.trie.entries())
        if (e->values.size() == 1 && e->values[0] == code) now += (now.empty() ? "" : "  ") + show_seq(e->seq);
      scr.line(4, "Press the key for " + km_option_name(code) + " (option " + std::to_string(code) + ")");
      scr.line(5, "Now: " + (now.empty() ? std::string("(none)") : now));
      scr.line(7, "SPACE keeps the keys shown (or leaves the function without a key);");
      scr.line(8, "CTRL-D goes on to saving with the keys recorded so far;");
      scr.line(9, "CTRL-C leaves without saving anything.");
      scr.line(10, "Function " + std::to_string(i + 1) + " of " + std::to_string(total));
      if (!note.empty()) scr.line(12, note);
      scr.show(4, 1);
    }
    KeyMatch m = capture(known, km.esc_delay, d, src, log, &waits);
    if (m.kind == KeyMatch::Resize) {
      scr.resized();
      continue;
    }
    if (m.kind == KeyMatch::Eof) {
      rc = 1;
      break;
    }
    if (m.kind == KeyMatch::Timeout) continue;
    const std::string& seq = m.bytes;
    if (seq == "\x03") {
      abandoned = true;
      break;
    }
    if (seq == "\x1a") {
      suspend_self(d);
      scr.resized();
      continue;
    }
    if (i == total) {
      if (seq == "y" || seq == "Y") {
        save = true;
        break;
      }
      if (seq == "n" || seq == "N") break;
      d->beep();
      continue;
    }
    if (seq == "\x04") {
      i = total;
      continue;
    }
    uint16_t code = kRecordList[i];
    note.clear();
    if (seq != " ") {
      if (is_character(m, d->utf8())) {
        note = "The key " + show_seq(seq) + " types a character into fields: it cannot give " +
               km_option_name(code) + ". Press another key.";
        d->beep();
        continue;
      }
      // A key that gave another function gives this one from now on: say so.
      for (const TrieEntry* e : km.trie.entries())
        if (e->seq == seq && !(e->values.size() == 1 && e->values[0] == code))
          note = "The key " + show_seq(seq) + " gave " + km_option_name(e->values[0]) + "; it gives " +
                 km_option_name(code) + " now.";
      km.trie.add(seq, {code});
      known.add(seq, {opt::kNoAction});
    }
    ++i;
  }
  d->close();
  if (log) std::fclose(log);
  if (rc) {
    std::fprintf(stderr, "quvo: the terminal is gone; the keymap was not saved\n");
    return rc;
  }
  if (abandoned) {
    std::printf("Left with CTRL-C: the keymap was not saved.\n");
    return 1;
  }
  if (!save) {
    std::printf("The keymap was not saved.\n");
    return 0;
  }
  if (!km_store().put(km.term, km.user, km_encode(km), &err)) {
    std::fprintf(stderr, "quvo: %s\n", err.c_str());
    return 1;
  }
  std::printf("Keymap of terminal %s for %s saved.\n", km.term.c_str(), who.c_str());
  return 0;
}
