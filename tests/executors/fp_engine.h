// The frame processor's test engine: the whole engine of the program entry
// run in a child of the test program on a memory terminal, over a data
// directory holding the test application fp-app (FPA, database FPD). A case
// runs the input executor (ip_exec) or replaces it with its own, which drives fp_exec and the
// option rule on the real compiled process and writes what it saw as lines
// "NAME VALUE" for the test to read back.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine.h"
#include "design/se.h"
#include "dictionary/bs.h"
#include "dictionary/dd1.h"
#include "executors/fp.h"
#include "executors/ip.h"
#include "executors/mp.h"
#include "executors/op.h"
#include "executors/rt.h"
#include "files/fm.h"
#include "files/lafi.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pb.h"
#include "process/pc.h"
#include "process/piexec.h"
#include "process/pl.h"
#include "process/services.h"
#include "screen/memterm.h"
#include "screen/wm.h"
#include "support/quvo_run.h"

namespace fpeng {

// The data directory of the test application in use (the last built).
inline std::string& var_dir() {
  static std::string v;
  return v;
}
// The directory goes when the test program ends, not when a forked engine
// child of a case does (it inherits this object).
struct AppDir {
  TempDir* dir = new TempDir;
  pid_t owner = getpid();
  ~AppDir() {
    if (getpid() == owner) delete dir;
  }
};
// `folder` of tests/executors holds application `app` of database `db`,
// whose Subroutine `setup` makes its files (ending by LOGOUT).
inline std::string build_app(const std::string& folder = "fp-app", const std::string& app = "FPA",
                             const std::string& db = "FPD", const std::string& setup = "FPA SETUP") {
  static AppDir dirs;
  static std::map<std::string, std::pair<std::string, std::string>> built;  // folder: error, var
  if (auto it = built.find(folder); it != built.end()) {
    var_dir() = it->second.second;
    return it->second.first;
  }
  TempDir* dir = dirs.dir;
  std::string boot = dir->sub("boot-" + folder);
  var_dir() = dir->sub("var-" + folder);
  std::filesystem::create_directories(var_dir());
  auto made = [&]() -> std::string {
    std::string gen = std::string(QUVOGEN_BINARY) + " " + QUVO_DATA_APPS + " " + QUVO_TEST_DIR + "/executors/" +
                      folder + " " + boot + " >" + dir->sub("gen-" + folder + ".log") + " 2>&1";
    if (std::system(gen.c_str()) != 0) return "the generator failed: " + gen;
    std::vector<std::string> env{"QUVOPATH=" + var_dir(), "QUVO_BOOT_SRC=" + boot, "TERM=dumb"};
    QuvoRun b = run_quvo({"-b"}, env);
    if (b.status != 0) return "quvo -b: " + b.out + b.err;
    env.push_back("QUVO_BOOT_AP=" + app);
    b = run_quvo({"-b"}, env);
    if (b.status != 0) return "quvo -b of " + app + ": " + b.out + b.err;
    b = run_quvo({"-d", db, "-a", app, "-t", "Subroutine", "-p", setup}, {"QUVOPATH=" + var_dir(), "TERM=dumb"});
    if (b.status != 127) return setup + ": " + b.out + b.err;
    return "";
  };
  std::string err = made();
  built[folder] = {err, var_dir()};
  return err;
}

// A case's own copy of the data directory build_app last gave: the case
// reads and writes only its own files, whatever the cases before it left
// (the copy goes with the returned directory). An empty path when the copy
// failed.
inline std::unique_ptr<TempDir> own_var_dir() {
  auto d = std::make_unique<TempDir>();
  std::error_code ec;
  std::filesystem::copy(var_dir(), d->sub("var"), std::filesystem::copy_options::recursive, ec);
  if (ec) return nullptr;
  var_dir() = d->sub("var");
  return d;
}

// What a case's executor writes, read back by the test.
inline std::string& log_path() {
  static std::string p;
  return p;
}
inline void note(const std::string& name, long long value) {
  std::ofstream(log_path(), std::ios::app) << name << " " << value << "\n";
}

// The child's terminal.
inline MemTerm& term() {
  static MemTerm t;
  return t;
}

struct Result {
  int status = -1;
  std::map<std::string, long long> seen;
  std::vector<std::string> lines;
};

// The keys of the engine's own keymap the memory terminal adds to the
// window manager's test keymap (whose F6 types "AB"): the mode keys, SELECT
// KEY and DELETE CONFIRM.
inline const char* kEngineKeys = R"("\e[15~" ADD MODE
"\e[16~" DELETE MODE
"\e[18~" INQUIRE MODE
"\e[19~" CHANGE MODE
"\e[20~" SELECT KEY
"\e[1;2S" DELETE CONFIRM
)";
inline const char* kAddMode = "\x1b[15~";
inline const char* kDeleteMode = "\x1b[16~";
inline const char* kInquireMode = "\x1b[18~";
inline const char* kChangeMode = "\x1b[19~";
inline const char* kDeleteConfirm = "\x1b[1;2S";
inline const char* kEnd = "\x1bOR";

// Called in the engine child once every executor started: a case's own
// service slots (null: none).
inline void (*slots)() = nullptr;
// The report executors as the program entry registers them (Output and
// Inquiry processes run); else their doubles.
inline bool with_reports = false;

// Typed keys, each its own: an escape sequence (ESC O x, or ESC [ up to its
// final byte) is one key; any other byte, a lone ESC too, is one.
inline std::vector<std::string> split_keys(const std::string& keys) {
  std::vector<std::string> out;
  for (size_t i = 0; i < keys.size();) {
    size_t n = 1;
    if (keys[i] == '\x1b' && i + 2 < keys.size() && keys[i + 1] == 'O') {
      n = 3;
    } else if (keys[i] == '\x1b' && i + 1 < keys.size() && keys[i + 1] == '[') {
      n = 2;
      while (i + n < keys.size() && !(keys[i + n] >= 0x40 && keys[i + n] <= 0x7E)) ++n;
      n = std::min(n + 1, keys.size() - i);
    }
    out.push_back(keys.substr(i, n));
    i += n;
  }
  return out;
}

// Runs `quvo ARGS` in a child on the memory terminal with the keys typed;
// `input_exec`, when given, is the Input executor. The child is stopped
// after `limit` seconds (a run that does not end fails).
inline Result run(const std::vector<std::string>& args, void (*input_exec)(Pcb*) = nullptr,
                  const std::string& keys = "", unsigned limit = 30) {
  Result res;
  TempDir d;
  log_path() = d.sub("seen");
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(limit);
    os_sys_err_log_clear();  // only this run's system errors count
    setenv("QUVOPATH", var_dir().c_str(), 1);
    setenv("TERM", "xterm", 1);
    unsetenv("QUVO_TEST_EXEC");
    static Keymap km;
    std::string err;
    if (!km_compile_source(std::string(kTestKeymap) + kEngineKeys, ".", "test.km", "xterm", &km, &err)) _exit(90);
    for (const std::string& k : split_keys(keys)) term().key(k);
    engine_register();
    if (with_reports) {
      op_register();
      op_exec_register();
    }
    os_set_init(OsInit::Wm, [] { return wm_start_deferred(&term(), &km); });
    static void (*exec)(Pcb*) = nullptr;
    static OsInitFn ip_start = nullptr;
    exec = input_exec;
    ip_start = os_get_init(OsInit::Ip);
    os_set_init(OsInit::Ip, [] {
      int ok = ip_start ? ip_start() : 1;
      if (exec) {
        proc_svc.ip_exec = exec;
        fp_set_hooks(2, FpHooks{});
      }
      if (slots) slots();
      return ok;
    });
    std::vector<std::string> a{"quvo"};
    a.insert(a.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    static int waits = 0;
    term().on_wait = [] { ++waits; };
    // The engine's own: a test before this one in the program may have
    // logged some in the parent.
    size_t before = os_sys_err_log().size();
    int rc = os_main(int(a.size()), argv.data());
    note("sys_errors", (long long)(os_sys_err_log().size() - before));
    for (size_t i = before; i < os_sys_err_log().size(); ++i) {  // their texts, a line each
      const SysErrRecord& e = os_sys_err_log()[i];
      std::string text = e.text;
      std::replace(text.begin(), text.end(), '\n', ' ');
      std::ofstream(log_path(), std::ios::app) << "sys_error " << e.module << " " << e.line << " " << text << "\n";
    }
    note("waits", waits);
    note("fault", ss_fault_signal());  // a memory fault the engine survived
    std::fflush(nullptr);
    _exit(rc);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  std::ifstream in(log_path());
  for (std::string l; std::getline(in, l);) {
    res.lines.push_back(l);
    std::istringstream s(l);
    std::string name;
    long long v = 0;
    s >> name >> v;
    res.seen[name] = v;
  }
  return res;
}

inline std::vector<std::string> menu(const char* name) { return {"-d", "FPD", "-a", "FPA", "-t", "Menu", "-p", name}; }
inline std::vector<std::string> input(const char* name) { return {"-d", "FPD", "-a", "FPA", "-t", "Input", "-p", name}; }
// A process of the report test application (op-app: OPA, database OPD).
inline std::vector<std::string> report(const char* type, const char* name) {
  return {"-d", "OPD", "-a", "OPA", "-t", type, "-p", name};
}

}  // namespace fpeng
