// Scrolling frames and the window work files of Input processes. The whole
// engine runs the list IP CUSTLIST of the test application ip-app in a child
// of the test program on a memory terminal; at each wait for a key the
// test reads the list off the screen, checks it against its own map of the
// customers, adds and deletes customers through a second, independent open
// of the shared file, and chooses the next key.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine.h"
#include "design/se.h"
#include "dictionary/bs.h"
#include "dictionary/dd1.h"
#include "executors/fp.h"
#include "executors/ip.h"
#include "executors/ipscrl.h"
#include "executors/mp.h"
#include "executors/rt.h"
#include "files/fm.h"
#include "files/lafi.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pb.h"
#include "process/pc.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pishr.h"
#include "process/pl.h"
#include "process/services.h"
#include "screen/memterm.h"
#include "screen/wm.h"
#include "process/pl_fixture.h"
#include "support/quvo_run.h"
#include "support/syserr.h"
#include "support/tmux.h"

namespace {

// The data directory with IPA added and an empty CUSTOMER file, made once.
struct AppDir {
  TempDir* dir = new TempDir;
  pid_t owner = getpid();
  std::string var, error;
  AppDir() {
    std::string boot = dir->sub("boot");
    var = dir->sub("var");
    std::filesystem::create_directories(var);
    std::string gen = std::string(QUVOGEN_BINARY) + " " + QUVO_DATA_APPS + " " + QUVO_TEST_DIR +
                      "/executors/ip-app " + boot + " >" + dir->sub("gen.log") + " 2>&1";
    if (std::system(gen.c_str()) != 0) {
      error = "the generator failed";
      return;
    }
    std::vector<std::string> env{"QUVOPATH=" + var, "QUVO_BOOT_SRC=" + boot, "TERM=dumb"};
    if (run_quvo({"-b"}, env).status != 0) error = "quvo -b";
    env.push_back("QUVO_BOOT_AP=IPA");
    if (error.empty() && run_quvo({"-b"}, env).status != 0) error = "quvo -b of IPA";
  }
  ~AppDir() {
    if (getpid() == owner) delete dir;
  }
  // A new, empty customer file (its set-up ends by LOGOUT: status 127).
  bool fresh() {
    return run_quvo({"-d", "IPD", "-a", "IPA", "-t", "Subroutine", "-p", "IP SETUP"}, {"QUVOPATH=" + var, "TERM=dumb"})
               .status == 127;
  }
};
AppDir& app() {
  static AppDir a;
  return a;
}

constexpr const char* kScrollKeys = R"(
"\e[5~"   PAGE UP
"\e[6~"   PAGE DOWN
"\e[1;5H" TOP
"\e[1;5F" BOTTOM
"\e[1;5A" LINE UP
"\e[1;5B" LINE DOWN
"\e5"     ADD MODE
"\e6"     DELETE MODE
"\e7"     INQUIRE MODE
"\e8"     CHANGE MODE
"\ed"     DELETE CONFIRM
)";
constexpr const char* kAddKey = "\x1b" "5";
constexpr const char* kDelKey = "\x1b" "6";
constexpr const char* kInqKey = "\x1b" "7";
constexpr const char* kChgKey = "\x1b" "8";
constexpr const char* kDelAck = "\x1b" "d";
// The number of records of a memory file (WCB, DIS), read through a buffer
// of len bytes.
long long records(FmArb* f, size_t len) {
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(" TSTPOOL   ", com.base_scope, 0), len));
  PROTO_FULL(f, 0, buf);
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = 0;
  long long n = 0;
  while (fm_rdnxt(f)) ++n;
  mm_free(buf);
  return n;
}

const char* key_bytes(int option) {
  switch (option) {
    case opt::kTop: return "\x1b[1;5H";
    case opt::kBottom: return "\x1b[1;5F";
    case opt::kPageUp: return "\x1b[5~";
    case opt::kPageDown: return "\x1b[6~";
    case opt::kLineDown: return "\x1b[1;5B";
    case opt::kLineUp: return "\x1b[1;5A";
    case opt::kEnter: return "\r";
    default: return "\x1bOR";  // END
  }
}

// ------------------------------------------------------ the child's side --
// One step of a scripted run: the second engine's change first ('+' adds,
// '-' deletes, 'h' holds, 'r' lets go the customer `code`), then the keys;
// then what the screen shows.
struct Step {
  char op = 0;
  std::string code;
  std::vector<std::string> keys;  // each key's bytes
  std::vector<std::string> rows;  // the codes of the list's rows
  int cur = 0;                    // the cursor's row
  std::string mode;               // the status line's mode item
  std::string text;               // a text somewhere on the screen (empty: none)
};
std::vector<std::string> typed(const std::string& s, const char* last = "\r", const char* first = nullptr) {
  std::vector<std::string> v;
  if (first) v.emplace_back(first);
  for (char c : s) v.emplace_back(1, c);
  if (last) v.emplace_back(last);
  return v;
}

// What the run found; written to a file the test reads back.
struct ListRun {
  int rows = 5;          // the window's rows
  int start = 0;         // customers at the start
  int keys = 150;        // keys before END
  unsigned seed = 1;
  bool mutate = true;    // adds and deletes by the second open
  // Customers added and deleted at the start, in place of `start` random
  // ones (with keys 0, the run only does that).
  std::vector<std::string> add, remove;
  bool check = true;     // the list checked against the test's own map
  bool at_end = false;   // BUFFER SCROLLING IMG '1': the list starts at its end
  int mode = 3;          // DEFAULT MODE (0: the process's own)
  bool may_add = false;  // the list permits Add
  std::vector<Step> script;  // in place of random keys: these steps, then END
  Step first;                // what the list shows before the first step
};

struct Child {
  ListRun run;
  std::mt19937 rng;
  Pcb* pcb = nullptr;
  FmArb* other = nullptr;               // the second, independent open
  std::vector<uint8_t> tmpl;            // a record as the process starts it
  std::map<std::string, std::string> live;
  std::set<std::string> gone, fresh;    // deleted and added since the last full page
  std::vector<std::string> before;      // the list before the last key
  int before_row = 0, last_key = 0, sent = 0, checks = 0;
  std::ofstream out;
  MemTerm term;

  void fail(const std::string& what) {
    out << "FAIL key " << last_key << " #" << sent << ": " << what << "\n";
  }

  std::string code(int n) {
    char b[8];
    std::snprintf(b, sizeof b, "K%04d", n);
    return b;
  }
  uint8_t* buf() { return other->rec.get(); }
  // The second engine: a copy of this one forked at the first change, with
  // an open of its own, that adds ('+') and deletes ('-') customers on
  // request, so that its changes come from another process as another
  // user's would.
  int to_helper = -1, from_helper = -1;
  void ask(char op, const std::string& c) {
    if (to_helper < 0) {
      int a[2], b[2];
      if (pipe(a) || pipe(b)) return fail("pipe");
      if (fork() == 0) {
        ::close(a[1]);
        ::close(b[0]);
        open_second();
        char cmd[6];
        while (::read(a[0], cmd, 6) == 6) {
          std::string code(cmd + 1, 5);
          bool ok = cmd[0] == '+' ? write_rec(code) : cmd[0] == '-' ? del_rec(code) : cmd[0] == 'h' ? hold_rec(code)
                                                                                 : fm_release(other) != 0;
          char r = ok ? 'y' : 'n';
          if (::write(b[1], &r, 1) != 1) break;
        }
        _exit(0);
      }
      ::close(a[0]);
      ::close(b[1]);
      to_helper = a[1];
      from_helper = b[0];
    }
    std::string cmd = std::string(1, op) + c;
    char r = 'n';
    if (::write(to_helper, cmd.data(), 6) != 6 || ::read(from_helper, &r, 1) != 1 || r != 'y')
      fail(std::string(1, op) + " " + c);
  }
  FmFdb fdb;  // the customer file's descriptor, as the process opened it
  void open_second() {
    FmFdb f = fdb;
    f.handle.reset();
    if (!FM_OPEN(&f, com.base_scope, 0, 15, 15)) _exit(91);
    other = f.handle.get();
    other->rec.set(static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(" TSTPOOL   ", com.base_scope, 0), tmpl.size())));
  }
  bool write_rec(const std::string& c) {
    std::memcpy(buf(), tmpl.data(), tmpl.size());
    std::memcpy(buf(), (c + " ").data(), 6);
    std::string name = "NAME " + c;
    name.resize(20, ' ');
    std::memcpy(buf() + 6, name.data(), 20);
    PROTO_FULL(other, 0, buf());
    return fm_write(other) != 0;
  }
  bool hold_rec(const std::string& c) {
    PROTO_FULL(other, 0, buf());
    std::memcpy(buf(), (c + " ").data(), 6);
    other->op = FM_OP_EQUAL | FM_OP_HOLD;
    bool ok = fm_read(other) != 0;
    other->op = 0;
    return ok;
  }
  bool del_rec(const std::string& c) { return hold_rec(c) && fm_del(other); }
  void put(const std::string& c, bool now = false) {
    if (now) {
      if (!write_rec(c)) fail("write " + c);
    } else {
      ask('+', c);
    }
    std::string name = "NAME " + c;
    name.resize(20, ' ');
    live[c] = name;
  }
  void del(std::string c) {
    ask('-', c);
    live.erase(c);
    gone.insert(c);
  }
  // The second open of the customer file, and the customers at the start.
  void open_other(Pcb* p) {
    pcb = p;
    auto* fc = static_cast<PiFileCtl*>(p->pcf_entry.get());
    if (!fc || !fc->cfi || !p->pcf_stream || !p->pcf_stream->rec) {
      fail("no customer file");
      return;
    }
    size_t len = fc->cfi->fdb.rec_len;
    fdb = fc->cfi->fdb;
    tmpl.assign(p->pcf_stream->rec.get(), p->pcf_stream->rec.get() + len);
    // The customers at the start, written before the list is shown.
    open_second();
    std::set<int> used;
    while (int(used.size()) < run.start) used.insert(int(rng() % 1000) * 2);
    for (int n : used) put(code(n), true);
    for (auto& c : run.add) put(c, true);
    for (auto& c : run.remove)
      if (!del_rec(c)) fail("delete " + c);
    FM_CLOSE(other, 0);
    other = nullptr;
    // The frame's window of run.rows rows.
    fp_frame(p, 1)->pos[2] = run.rows;
    if (run.at_end) pi_area_rec<PdArea3>(p, 3)->buffer_scroll.set("1");
    if (run.mode) pi_area_rec<PdArea3>(p, 3)->default_mode = uint8_t(run.mode);
    if (run.may_add) p->module->flags106[0] = 1;
  }
  // The customer codes of the window's rows, top to bottom, and the row of
  // the cursor (1-based).
  std::vector<std::string> list(int* cur) {
    std::vector<std::string> v;
    for (int r = 3; r < 3 + run.rows; ++r) {
      std::string s = wm_screen_row(r);
      std::string c = s.size() >= 8 ? s.substr(2, 5) : "";
      if (c.find_first_not_of(' ') != std::string::npos) v.push_back(c);
    }
    int row = 0, col = 0;
    wm_cursor(&row, &col);
    *cur = row - 2;
    return v;
  }
  int holds() { return run.rows; }

  void check() {
    if (!run.check) return;
    ++checks;
    int cur = 0;
    std::vector<std::string> now = list(&cur);
    std::string shown;
    for (auto& c : now) shown += c + " ";
    auto at = [&](const std::string& why) { fail(why + " [" + shown + "] cursor " + std::to_string(cur)); };
    for (size_t i = 1; i < now.size(); ++i)
      if (!(now[i - 1] < now[i])) return at("rows out of order or twice");
    for (auto& c : now)
      if (!live.count(c) && !gone.count(c)) return at("row of no customer " + c);
    // Consecutive: no customer between two rows, unless it came after the
    // page was made.
    for (size_t i = 1; i < now.size(); ++i)
      for (auto it = live.upper_bound(now[i - 1]); it != live.end() && it->first < now[i]; ++it)
        if (!fresh.count(it->first)) return at("customer " + it->first + " missing between rows");
    if (!now.empty() && (cur < 1 || cur > int(now.size()))) return at("cursor off the rows");
    bool full = last_key == opt::kTop || last_key == opt::kBottom;
    if (full) {
      // The first or last page of the file itself.
      std::vector<std::string> all;
      for (auto& [c, n] : live) all.push_back(c);
      size_t n = std::min<size_t>(all.size(), size_t(holds()));
      std::vector<std::string> want(last_key == opt::kTop ? all.begin() : all.end() - long(n),
                                    last_key == opt::kTop ? all.begin() + long(n) : all.end());
      if (now != want) return at("not the " + std::string(last_key == opt::kTop ? "first" : "last") + " page");
      int want_row = now.empty() ? cur : last_key == opt::kTop ? 1 : int(now.size());
      if (cur != want_row) return at("cursor not on row " + std::to_string(want_row));
      for (auto& c : now)
        if (gone.count(c)) return at("deleted customer " + c + " after a new page");
    }
    // Every key that moves the list shows it again from the file.
    if (full || now != before) {
      for (auto& c : now)
        if (gone.count(c)) return at("deleted customer " + c + " after a redisplay");
    }
    if (full) {
      gone.clear();
      fresh.clear();
    }
    // 325 on the first row of the first customer and 324 with the last one
    // shown change nothing.
    std::set<std::string> seen;
    for (auto& [c, n] : live) seen.insert(c);
    for (auto& c : before) seen.insert(c);
    if (last_key == opt::kLineUp && before_row == 1 && !before.empty() && before.front() == *seen.begin() &&
        (now != before || cur != 1))
      return at("325 on the first row moved");
    if (last_key == opt::kLineDown && !before.empty() && before.back() == *seen.rbegin() && now != before)
      return at("324 at the end moved");
  }

  // A scripted run: at the first read of each step's keys, what the
  // step before did is checked, then the second engine changes the file
  // and the next step's keys are queued behind this step's.
  size_t next_size = 0, started = 0;
  void push_step(size_t k) {
    size_t before = term.script.size();
    if (k < run.script.size())
      for (auto& key : run.script[k].keys) term.key(key);
    else
      term.key(key_bytes(opt::kEnd));
    next_size = term.script.size() - before;
  }
  void expect(const Step& s, size_t k) {
    auto at = [&](const std::string& what) { out << "FAIL after step " << int(k) - 1 << ": " << what << "\n"; };
    int cur = 0;
    std::vector<std::string> now = list(&cur);
    std::string shown, screen;
    for (auto& c : now) shown += c + " ";
    for (int r = 1; r <= term.rows; ++r) screen += " |" + wm_screen_row(r);
    ++checks;
    if (now != s.rows) at("rows [" + shown + "]" + screen);
    if (s.cur && cur != s.cur) at("cursor on row " + std::to_string(cur) + screen);
    std::string item = wm_screen_row(term.rows - 1).substr(71, 7);
    item.erase(item.find_last_not_of(' ') + 1);
    if (item != s.mode) at("mode item \"" + item + "\"" + screen);
    if (!s.text.empty() && screen.find(s.text) == std::string::npos) at("no \"" + s.text + "\"" + screen);
  }
  void scripted() {
    if (term.script.size() != next_size) return;
    size_t k = started++;
    expect(k ? run.script[k - 1] : run.first, k);
    if (k >= run.script.size()) {
      next_size = SIZE_MAX;
      return;
    }
    const Step& s = run.script[k];
    if (s.op == '-') del(s.code);
    else if (s.op) ask(s.op, s.code);
    push_step(k + 1);
  }

  // At each wait: check what the last key did, change the file, choose a
  // key. The terminal has already taken the first byte of the key it is
  // about to read, so a key chosen here follows the one queued before.
  std::deque<int> queued;
  int choose() {
    static const int kKeys[] = {opt::kTop,      opt::kBottom, opt::kPageUp, opt::kPageDown,
                                opt::kLineDown, opt::kLineUp, opt::kEnter,  opt::kLineDown,
                                opt::kLineUp,   opt::kPageDown, opt::kEnter};
    int k = sent + int(queued.size()) >= run.keys ? opt::kEnd : kKeys[rng() % (sizeof kKeys / sizeof *kKeys)];
    for (const char* p = key_bytes(k); *p; ++p) term.script.push_back(uint8_t(*p));
    term.script.push_back(kTmTimeout);
    queued.push_back(k);
    return k;
  }
  void step() {
    if (read_any) {
      last_key = queued.front();
      queued.pop_front();
      ++sent;
      check();
    } else {
      // The list starts with the first page, or the last.
      last_key = run.at_end ? opt::kBottom : opt::kTop;
      check();
      last_key = 0;
    }
    read_any = true;
    int cur = 0;
    before = list(&cur);
    before_row = cur;
    if (run.mutate && sent > 0 && rng() % 3 == 0) {
      if (!live.empty() && (rng() % 2 == 0 || live.size() >= 40)) {
        auto it = live.begin();
        std::advance(it, long(rng() % live.size()));
        del(it->first);
      } else if (live.size() < 40) {
        std::string c;
        do c = code(int(rng() % 2000)); while (live.count(c));
        put(c);
        fresh.insert(c);
      }
    }
    if (queued.back() != opt::kEnd) choose();
  }
  bool read_any = false;
};
Child* g_child = nullptr;

struct Outcome {
  int status = -1;
  std::vector<std::string> failures;
  std::map<std::string, long long> seen;
  std::map<std::string, std::string> custs;  // code: amount's packed bytes
};

// Runs IP CUSTLIST in a child engine with `run`.
Outcome run_list(const ListRun& run) {
  Outcome res;
  TempDir d;
  std::string path = d.sub("seen");
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(120);
    os_sys_err_log_clear();
    static Child c;
    g_child = &c;
    c.run = run;
    c.rng.seed(run.seed);
    c.out.open(path);
    setenv("QUVOPATH", app().var.c_str(), 1);
    setenv("TERM", "xterm", 1);
    unsetenv("QUVO_TEST_EXEC");
    static Keymap km;
    std::string err;
    std::string src = std::string(kTestKeymap) + kScrollKeys;
    if (!km_compile_source(src.c_str(), ".", "test.km", "xterm", &km, &err)) _exit(90);
    if (run.script.empty()) {
      c.choose();
      c.term.on_wait = [] { g_child->step(); };
    } else {
      c.push_step(0);
      c.term.on_wait = [] { g_child->scripted(); };
    }
    engine_register();
    os_set_init(OsInit::Wm, [] { return wm_start_deferred(&g_child->term, &km); });
    static OsInitFn ip_start = os_get_init(OsInit::Ip);
    os_set_init(OsInit::Ip, [] {
      int ok = ip_start ? ip_start() : 1;
      proc_svc.ip_exec = [](Pcb* p) {
        g_child->open_other(p);
        ip_exec(p);
      };
      proc_svc.ip_cleanup = [](Pcb* p, uint32_t* saved) {
        // The customers on file: code and the amount's packed bytes.
        if (!g_child->run.script.empty()) {
          g_child->open_second();
          FmArb* f = g_child->other;
          PROTO_FULL(f, 0, g_child->buf());
          f->op = FM_OP_FIRST;
          fm_start(f);
          f->op = 0;
          while (fm_rdnxt(f)) {
            char hex[16];
            g_child->out << "cust " << std::string(reinterpret_cast<char*>(g_child->buf()), 5) << " ";
            for (int i = 26; i < 32; ++i) {
              std::snprintf(hex, sizeof hex, "%02x", g_child->buf()[i]);
              g_child->out << hex;
            }
            g_child->out << "\n";
          }
          FM_CLOSE(f, 0);
          g_child->other = nullptr;
        }
        ip_cleanup(p, saved);
        g_child->out << "wcb " << records(ip_wcb_file(), sizeof(IpWcb)) << "\n";
        g_child->out << "dis " << records(ip_dis_file(), sizeof(IpDis)) << "\n";
      };
      return ok;
    });
    std::vector<std::string> a{"quvo", "-d", "IPD", "-a", "IPA", "-t", "Input", "-p", "IP CUSTLIST"};
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    int rc = os_main(int(a.size()), argv.data());
    c.out << "sys_errors " << os_sys_err_log().size() << "\n";
    for (auto& e : os_sys_err_log()) c.out << "FAIL system error " << e.module << ":" << e.line << " " << e.text << "\n";
    c.out << "checks " << c.checks << "\n";
    c.out.close();
    std::fflush(nullptr);
    _exit(rc);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("FAIL", 0) == 0) res.failures.push_back(l);
    if (l.rfind("cust ", 0) == 0 && l.size() == 23) res.custs[l.substr(5, 5)] = l.substr(11);
    std::istringstream s(l);
    std::string name;
    long long v = 0;
    if (s >> name >> v) res.seen[name] = v;
  }
  return res;
}

class IpScroll : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(app().error, "");
    ASSERT_TRUE(app().fresh());
  }
};

// Random scrolling keys and ENTER over 0-40 customers in windows of 1-6
// rows (starting at the end with BUFFER SCROLLING IMG '1' in every fourth
// run), while another engine adds and deletes customers:
// the rows are consecutive customers in code order, none twice, none
// deleted after a new page; TOP and BOTTOM show the file's first and last
// page; LINE UP on the first customer and LINE DOWN at the end change
// nothing; at the end WCB and DIS are empty.
TEST_F(IpScroll, RandomKeysWithCustomersComingAndGoing) {
  for (unsigned seed = 1; seed <= 30; ++seed) {
    ListRun r;
    r.seed = seed;
    r.rows = int(1 + seed % 6);
    r.start = int((seed * 7) % 41);
    r.keys = 120;
    r.at_end = seed % 4 == 0;
    ASSERT_TRUE(app().fresh());
    Outcome o = run_list(r);
    SCOPED_TRACE("seed " + std::to_string(seed) + " rows " + std::to_string(r.rows) + " start " +
                 std::to_string(r.start));
    EXPECT_EQ(o.status, 0);
    for (auto& f : o.failures) ADD_FAILURE() << f;
    EXPECT_EQ(o.seen["checks"], r.keys + 1);
    EXPECT_EQ(o.seen["wcb"], 0);
    EXPECT_EQ(o.seen["dis"], 0);
  }
}

// The packed bytes of an amount in cents (CUS AMOUNT: 11 digits and the
// sign in six bytes).
std::string packed(long long cents) {
  unsigned long long v = static_cast<unsigned long long>(cents < 0 ? -cents : cents);
  int nib[12];
  nib[11] = cents < 0 ? 0xD : 0xC;
  for (int i = 10; i >= 0; --i, v /= 10) nib[i] = int(v % 10);
  char b[16];
  std::string out;
  for (int i = 0; i < 6; ++i) {
    std::snprintf(b, sizeof b, "%02x", unsigned(nib[2 * i] << 4 | nib[2 * i + 1]));
    out += b;
  }
  return out;
}
std::vector<std::string> ks(std::initializer_list<std::string> v) { return v; }

// Change and Delete on the customer under the cursor, in a list of five
// rows over eight customers that starts in Change:
// - an amount typed on the first row is written; ENTER goes to the next;
// - DELETE MODE keeps the row and asks for the confirmation; DELETE deletes
//   it, the rows below move up and the next customer is current;
// - a customer deleted by the other engine meanwhile is passed over;
// - INQUIRE and CHANGE MODE keep the row; a customer the other engine
//   holds shows for inquiry with the lock's message, and once let go is
//   changed again;
// - the mode key of the mode the list is in goes to key entry, where a
//   code starts the list at its customer.
TEST_F(IpScroll, ChangeAndDeleteTheCustomerUnderTheCursor) {
  ListRun r;
  r.keys = 0;
  r.mutate = false;
  r.check = false;
  r.mode = 0;
  for (int i = 1; i <= 8; ++i) r.add.push_back("C00" + std::to_string(i) + "0");
  auto rows = [](std::initializer_list<int> n) {
    std::vector<std::string> v;
    for (int i : n) v.push_back("C00" + std::to_string(i) + "0");
    return v;
  };
  r.first = {0, "", {}, rows({1, 2, 3, 4, 5}), 1, "CHG", ""};
  r.script = {
      {0, "", typed("12.34", "\r", "\t"), rows({1, 2, 3, 4, 5}), 2, "CHG", ""},
      {0, "", ks({kDelKey}), rows({1, 2, 3, 4, 5}), 2, "DEL", "Press DELETE CONFIRM to delete this record"},
      {0, "", ks({kDelAck}), rows({1, 3, 4, 5, 6}), 2, "DEL", ""},
      {'-', "C0040", ks({"\r"}), rows({1, 3, 5, 6, 7}), 3, "DEL", ""},
      {0, "", ks({kInqKey}), rows({1, 3, 5, 6, 7}), 3, "INQ", ""},
      {'h', "C0060", ks({kChgKey, "\r"}), rows({1, 3, 5, 6, 7}), 4, "CHG/INQ", "Record is locked by another user"},
      {0, "", typed("5", "\r", "\t"), rows({1, 3, 5, 6, 7}), 5, "CHG", ""},
      {'r', "C0060", ks({"\x1b[1;5A"}), rows({1, 3, 5, 6, 7}), 4, "CHG", ""},
      {0, "", typed("7", "\r", "\t"), rows({1, 3, 5, 6, 7}), 5, "CHG", ""},
      {0, "", ks({kChgKey}), {}, 1, "CHG/KEY", ""},
      {0, "", typed("C0050"), rows({5, 6, 7, 8}), 1, "CHG", ""},
  };
  Outcome o = run_list(r);
  EXPECT_EQ(o.status, 0);
  for (auto& f : o.failures) ADD_FAILURE() << f;
  EXPECT_EQ(o.seen["checks"], long(r.script.size()) + 1);
  std::map<std::string, std::string> want;
  for (int i : {1, 3, 5, 6, 7, 8}) want["C00" + std::to_string(i) + "0"] = packed(0);
  want["C0010"] = packed(1234);
  want["C0060"] = packed(700);
  EXPECT_EQ(o.custs, want);
  EXPECT_EQ(o.seen["wcb"], 0);
}

// ADD MODE on a list that permits Add: a new customer is entered in the
// first row of the emptied window and written; INQUIRE MODE from there goes
// to key entry, where an empty key shows the list from its first customer,
// a code no customer has is refused and a code shows the list from its
// customer, the new one in its place.
TEST_F(IpScroll, AddModeOnTheList) {
  ListRun r;
  r.keys = 0;
  r.mutate = false;
  r.check = false;
  r.mode = 4;
  r.may_add = true;
  r.add = {"C0010", "C0020", "C0030"};
  r.first = {0, "", {}, {"C0010", "C0020", "C0030"}, 1, "CHG", ""};
  r.script = {
      {0, "", ks({kAddKey}), {}, 1, "ADD", ""},
      {0, "", typed("C0025"), {}, 1, "ADD", ""},
      {0, "", ks({kInqKey}), {}, 1, "INQ/KEY", ""},
      {0, "", ks({"\r"}), {"C0010", "C0020", "C0025", "C0030"}, 1, "INQ", ""},
      {0, "", ks({kInqKey}), {}, 1, "INQ/KEY", ""},
      {0, "", typed("C0099"), {"C0099"}, 1, "INQ/KEY", "Record not found"},
      {0, "", typed("C0020"), {"C0020", "C0025", "C0030"}, 1, "INQ", ""},
  };
  Outcome o = run_list(r);
  EXPECT_EQ(o.status, 0);
  for (auto& f : o.failures) ADD_FAILURE() << f;
  EXPECT_EQ(o.custs.size(), 4u);
  EXPECT_EQ(o.custs.count("C0025"), 1u);
}

// ENTER and LINE UP at the window's bounds, three rows over eight customers
// in Inquire: ENTER on the last row moves the window up one row, the cursor
// staying on that row; LINE UP moves the cursor up to the first row, then
// the window starts a customer earlier; on the first customer nothing moves.
TEST_F(IpScroll, EnterAndLineUpAtTheWindowsBounds) {
  ListRun r;
  r.keys = 0;
  r.mutate = false;
  r.check = false;
  r.rows = 3;
  for (int i = 1; i <= 8; ++i) r.add.push_back("C00" + std::to_string(i) + "0");
  auto rows = [](int from) {
    std::vector<std::string> v;
    for (int i = from; i < from + 3; ++i) v.push_back("C00" + std::to_string(i) + "0");
    return v;
  };
  const char* up = "\x1b[1;5A";
  r.first = {0, "", {}, rows(1), 1, "INQ", ""};
  r.script = {
      {0, "", ks({"\r"}), rows(1), 2, "INQ", ""},  {0, "", ks({"\r"}), rows(1), 3, "INQ", ""},
      {0, "", ks({"\r"}), rows(2), 3, "INQ", ""},  {0, "", ks({"\r"}), rows(3), 3, "INQ", ""},
      {0, "", ks({up}), rows(3), 2, "INQ", ""},     {0, "", ks({up}), rows(3), 1, "INQ", ""},
      {0, "", ks({up}), rows(2), 1, "INQ", ""},     {0, "", ks({up}), rows(1), 1, "INQ", ""},
      {0, "", ks({up}), rows(1), 1, "INQ", ""},
  };
  Outcome o = run_list(r);
  EXPECT_EQ(o.status, 0);
  for (auto& f : o.failures) ADD_FAILURE() << f;
  EXPECT_EQ(o.seen["checks"], long(r.script.size()) + 1);
}

// ------------------------------------------------------------ WCB, DIS --
// The window work files on the window manager of a memory terminal: an
// Input process that called another as SUBPROCESS, each with windows.
class IpWcbFiles : public ::testing::Test {
 protected:
  pltest::Engine e;
  MemTerm term;
  Keymap km;
  uint32_t srf = 0;

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(e.start());
    std::string err;
    ASSERT_TRUE(km_compile_source(kTestKeymap, ".", "test.km", "xterm", &km, &err)) << err;
    ASSERT_EQ(wm_start(&term, &km), 1);
    ASSERT_EQ(ip_wcb_init(), 1);
    ASSERT_EQ(wm_create_srf(&srf, com.depth), 1);
  }
  void TearDown() override {
    wm_end();
    e.stop();
  }
  Pcb* input(const char* name, Pcb* caller) {
    Pcb* p = e.pcb(name, 0, 2);
    p->family = 7;
    p->generation = 1;
    p->invoc.parent_pcb.set(caller);
    return p;
  }
  uint32_t attach(Pcb* p, int frame, int image, bool keep) {
    WmWnd w;
    INIT_WND(&w, 1, 2 + image, 1, 1, 20, keep ? 1 : 0);
    return ip_attach(p, &w, srf, frame, image);
  }
  static long long count(FmArb* f, size_t len) { return records(f, len); }
  static int windows() {
    int s = 0, w = 0, r = 0;
    wm_counts(&s, &w, &r);
    return w;
  }
};

// The caller's windows and its child's: the child's end takes its own
// window but leaves the kept one to its caller; a detach that is not
// forced leaves it too; the caller's end takes every window, and both
// files end empty. The same (process, frame, image) finds its window again.
TEST_F(IpWcbFiles, ChildWindowsGoWithTheCallerAndKeptOnesOnlyWhenForced) {
  int base = windows();
  Pcb* caller = input("CALLER", nullptr);
  caller->invoc.kind = 1;
  uint32_t saved_caller = 0, saved_child = 0;
  ip_inp_enter(caller, &saved_caller);
  uint32_t a = attach(caller, 1, 1, false);
  ASSERT_NE(a, 0u);
  EXPECT_EQ(attach(caller, 1, 1, false), a);
  Pcb* child = input("CHILD", caller);
  ip_inp_enter(child, &saved_child);
  EXPECT_EQ(ip_inp_info().name, std::string_view("CHILD"));
  EXPECT_EQ(count(ip_dis_file(), sizeof(IpDis)), 1);
  ASSERT_NE(attach(child, 1, 1, false), 0u);
  ASSERT_NE(attach(child, 1, 2, true), 0u);
  EXPECT_EQ(windows(), base + 3);
  EXPECT_EQ(count(ip_wcb_file(), sizeof(IpWcb)), 3);
  // The child ends: its kept window stays for its caller.
  ip_wnd_cleanup(child);
  ip_inp_leave(child, &saved_child);
  EXPECT_EQ(ip_inp_info().name, std::string_view("CALLER"));
  EXPECT_EQ(windows(), base + 2);
  EXPECT_EQ(count(ip_wcb_file(), sizeof(IpWcb)), 2);
  // Not forced: the caller's detach of its children keeps it.
  ip_detach(caller, 0, false, false, true);
  EXPECT_EQ(windows(), base + 2);
  EXPECT_EQ(count(ip_dis_file(), sizeof(IpDis)), 1);
  // Forced: it goes, with the DIS record.
  ip_detach(caller, 0, false, true, true);
  EXPECT_EQ(windows(), base + 1);
  EXPECT_EQ(count(ip_dis_file(), sizeof(IpDis)), 0);
  // The caller's end takes the rest.
  ip_wnd_cleanup(caller);
  ip_inp_leave(caller, &saved_caller);
  EXPECT_TRUE(ip_inp_info().app.blank());
  EXPECT_EQ(windows(), base);
  EXPECT_EQ(count(ip_wcb_file(), sizeof(IpWcb)), 0);
  EXPECT_EQ(count(ip_dis_file(), sizeof(IpDis)), 0);
  e.free_pcb(child);
  e.free_pcb(caller);
}

// An Input process ending without an Input caller takes even its kept
// windows and those of the child that called it; an Input that called
// another closes both windows.
TEST_F(IpWcbFiles, AnInputThatCalledAnotherClosesBothWindows) {
  int base = windows();
  Pcb* caller = input("CALLER", nullptr);
  caller->invoc.kind = 1;
  uint32_t sc = 0, sk = 0;
  ip_inp_enter(caller, &sc);
  attach(caller, 1, 1, true);
  Pcb* child = input("CHILD", caller);
  ip_inp_enter(child, &sk);
  attach(child, 1, 1, true);
  ip_inp_leave(child, &sk);
  EXPECT_EQ(windows(), base + 2);
  ip_wnd_cleanup(caller);
  ip_inp_leave(caller, &sc);
  EXPECT_EQ(windows(), base);
  EXPECT_EQ(count(ip_wcb_file(), sizeof(IpWcb)), 0);
  EXPECT_EQ(count(ip_dis_file(), sizeof(IpDis)), 0);
  e.free_pcb(child);
  e.free_pcb(caller);
}

// ------------------------------------------------------------ under tmux --
// The list as a person uses it: the real engine in a private tmux server
// (TERM=xterm, 80 x 24) over the same data directory; customers are added
// and deleted by another engine.
class IpScrollRun : public tmuxrun::PaneTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(app().error, "");
    ASSERT_TRUE(app().fresh());
    open_pane(app().dir->str(), "quvo-ipscrl");
  }
  // Another engine adds or deletes customers.
  static void change(std::vector<std::string> add, std::vector<std::string> remove) {
    ListRun r;
    r.keys = 0;
    r.mutate = false;
    r.check = false;
    r.add = std::move(add);
    r.remove = std::move(remove);
    Outcome o = run_list(r);
    for (auto& f : o.failures) ADD_FAILURE() << f;
  }
  // The codes on the list's five rows.
  std::vector<std::string> rows() {
    std::vector<std::string> s = screen(), v;
    for (int r = 3; r <= 7; ++r) {
      std::string c = s[size_t(r - 1)].size() >= 7 ? s[size_t(r - 1)].substr(2, 5) : "";
      if (!c.empty() && c != "     ") v.push_back(c);
    }
    return v;
  }
  int cursor_row() { return cursor().second - 2; }
  // The rows once the terminal shows them (the pane may lag the engine's
  // wait by a moment).
  std::vector<std::string> rows_are(const std::vector<std::string>& want) {
    std::vector<std::string> now;
    for (int i = 0; i < 300; ++i) {
      now = rows();
      if (now == want) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return now;
  }
};

std::vector<std::string> codes(int from, int to) {
  std::vector<std::string> v;
  for (int i = from; i <= to; ++i) {
    char b[8];
    std::snprintf(b, sizeof b, "C%04d", i * 10);
    v.push_back(b);
  }
  return v;
}

// Twelve customers in a window of five rows: the first page, line down and
// up, page down and up, the last page with the cursor on its last row;
// then a customer deleted by another engine vanishes at the next page and
// the rows below move up. END leaves.
TEST_F(IpScrollRun, PageAndLineKeysAndADeletedCustomer) {
  change(codes(1, 12), {});
  run_in_pane("QUVOPATH=" + tmuxrun::q(app().var) + " " + tmuxrun::q(QUVO_BINARY) +
              " -d IPD -a IPA -t Input -p 'IP CUSTLIST'");
  ASSERT_TRUE(waits(1)) << tmuxrun::slurp(dir + "/err");
  EXPECT_EQ(rows_are(codes(1, 5)), codes(1, 5));
  EXPECT_EQ(cursor_row(), 1);
  key("C-Down");  // LINE DOWN
  EXPECT_EQ(rows_are(codes(2, 6)), codes(2, 6));
  key("C-Up");  // LINE UP on the first row: a record earlier
  EXPECT_EQ(rows_are(codes(1, 5)), codes(1, 5));
  key("C-Up");  // on the first record: nothing
  EXPECT_EQ(rows_are(codes(1, 5)), codes(1, 5));
  key("NPage");
  EXPECT_EQ(rows_are(codes(6, 10)), codes(6, 10));
  key("NPage");
  EXPECT_EQ(rows_are(codes(11, 12)), codes(11, 12));
  key("NPage");  // at the end: nothing
  EXPECT_EQ(rows_are(codes(11, 12)), codes(11, 12));
  key("PPage");
  EXPECT_EQ(rows_are(codes(6, 10)), codes(6, 10));
  EXPECT_EQ(cursor_row(), 5);
  key("C-End");  // BOTTOM
  EXPECT_EQ(rows_are(codes(8, 12)), codes(8, 12));
  EXPECT_EQ(cursor_row(), 5);
  key("C-Down");  // at the end: nothing
  EXPECT_EQ(rows_are(codes(8, 12)), codes(8, 12));
  key("C-Home");  // TOP
  EXPECT_EQ(rows_are(codes(1, 5)), codes(1, 5));
  key("Enter");  // the next customer
  EXPECT_EQ(cursor_row(), 2);
  // C0030 goes at another terminal: shown until the next redisplay, ENTER
  // to it, where the rows below move up and the cursor is on the next one.
  change({}, {"C0030"});
  EXPECT_EQ(rows_are(codes(1, 5)), codes(1, 5));
  key("Enter");
  std::vector<std::string> want = codes(1, 2);
  for (auto& c : codes(4, 6)) want.push_back(c);
  EXPECT_EQ(rows_are(want), want);
  EXPECT_EQ(cursor_row(), 3);
  // The list is in Change: a new amount for C0040 (TAB from its code),
  // ENTER to the next row.
  for (const char* k : {"Tab", "5", ".", "2", "5", "Enter"}) key(k);
  EXPECT_EQ(cursor_row(), 4);
  std::string row3 = screen()[4];
  EXPECT_EQ(row3.substr(0, 7), "  C0040") << row3;
  EXPECT_NE(row3.find(" 5.25"), std::string::npos) << row3;
  // C0050 deleted: DELETE MODE keeps the row and asks, DELETE deletes it;
  // the rows below move up.
  key("M-6");
  std::string all;
  for (auto& l : screen()) all += l + "\n";
  EXPECT_NE(all.find("Press DELETE CONFIRM to delete this record"), std::string::npos) << all;
  key("M-d");
  want = {"C0010", "C0020", "C0040", "C0060", "C0070"};
  EXPECT_EQ(rows_are(want), want);
  EXPECT_EQ(cursor_row(), 4);
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");
}

// ip_clr_frm detaches the windows of one frame, kept or not, and deletes
// their records; the other frame's stay. A PCB without the frame, or not
// of an Input, Output or Inquiry process, is a system error.
TEST_F(IpWcbFiles, ClearingAFrameDetachesItsWindowsOnly) {
  int base = windows();
  Pcb* p = input("FORM", nullptr);
  auto* em = static_cast<EmHeader*>(MM_ALLOC(e.pool, sizeof(EmHeader)));
  std::memset(static_cast<void*>(em), 0, sizeof *em);
  em->n_frames = 2;
  auto* frames = static_cast<PcbFrameEnt*>(MM_ALLOC(e.pool, 3 * sizeof(PcbFrameEnt)));
  std::memset(static_cast<void*>(frames), 0, 3 * sizeof(PcbFrameEnt));
  p->module.set(em);
  p->frame_tbl.set(frames);
  attach(p, 1, 1, false);
  attach(p, 2, 1, true);
  attach(p, 2, 2, false);
  frames[2].image = 2;
  EXPECT_EQ(windows(), base + 3);
  ip_clr_frm(p, 2);
  EXPECT_EQ(windows(), base + 1);
  EXPECT_EQ(count(ip_wcb_file(), sizeof(IpWcb)), 1);
  EXPECT_EQ(frames[2].image, 0u);
  {
    SysErrCapture cap(SysErrAnswer::Continue);
    ip_clr_frm(nullptr, 1);
    EXPECT_EQ(cap.last(), "ip_clr_frm() - got a NULL pcb");
    ip_clr_frm(p, 3);
    EXPECT_EQ(cap.last(), "ip_clr_frm() - got a NULL cfrm");
    p->invoc.type = 4;
    ip_clr_frm(p, 1);
    EXPECT_EQ(cap.last(), "ip_clr_frm() - bad proc type");
    p->invoc.type = 2;
  }
  ip_wnd_cleanup(p);
  EXPECT_EQ(windows(), base);
  EXPECT_EQ(count(ip_wcb_file(), sizeof(IpWcb)), 0);
  p->module.reset();
  p->frame_tbl.reset();
  e.free_pcb(p);
}

}  // namespace
