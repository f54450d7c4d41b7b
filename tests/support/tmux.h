// Test helper: the real engine run as a person runs it, in a private tmux
// server (80 x 24) on a bootstrapped data directory; shell commands, quoting
// and reading back the files the run wrote.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace tmuxrun {

// Runs a shell command and returns its standard output.
inline std::string sh(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

// The text quoted for the shell.
inline std::string q(const std::string& s) {
  std::string o = "'";
  for (char c : s) o += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return o + "'";
}

inline std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The sanitizer settings of the test run, passed on to the programs.
inline std::string sanitizer_env() {
  std::string e;
  for (const char* v : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* x = std::getenv(v)) e += std::string(" ") + v + "=" + q(x);
  return e;
}

// A fresh directory /tmp/<prefix>-XXXXXX (root) with a data directory below
// it made by the engine's bootstrap; returns the bootstrap's exit status.
inline int make_engine_dir(const std::string& prefix, std::string* root, std::string* data) {
  std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
  *root = mkdtemp(tmpl.data());
  *data = *root + "/data";
  mkdir(data->c_str(), 0777);
  int rc = 0;
  sh("env -i PATH=/usr/bin:/bin" + sanitizer_env() + " QUVOPATH=" + q(*data) + " " + q(QUVO_BINARY) +
         " -b >/dev/null 2>&1",
     &rc);
  return rc;
}

// Starts a session of the tmux server that the command prefix `tmux` names.
// A server told to end a moment ago may still take the new session's client
// and then leave with it: the session is made again until the server has it
// (5 s at most). False when no session came up.
inline bool new_session(const std::string& tmux, const std::string& args) {
  for (int i = 0; i < 100; ++i) {
    sh(tmux + "new-session -d " + args + " 2>&1");
    int rc = -1;
    sh(tmux + "has-session 2>&1", &rc);
    if (rc == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

struct EngineResult {
  int status = -1;
  std::string err, trace;
};

// Runs the engine with `args` (and the settings `env`) in the tmux server
// `name` and waits for its end (15 s at most); its standard error and
// instruction trace are kept below root.
inline EngineResult run_engine(const std::string& root, const std::string& data, const std::string& name,
                               const std::string& env, const std::string& args, const std::string& as = "") {
  std::string rcf = root + "/rc", errf = root + "/err", tracef = root + "/trace";
  unlink(rcf.c_str());
  unlink(tracef.c_str());  // the engine appends to its trace
  std::string cmd = as + (as.empty() ? "" : " ") + "env -i PATH=/usr/bin:/bin HOME=" + q(root) + " TERM=xterm LANG=C.UTF-8 QUVOPATH=" + q(data) +
                    " QUVO_INST_TRACE=" + q(tracef) + " " + env + sanitizer_env() + " " + q(QUVO_BINARY) + " " +
                    args + " 2>" + q(errf) + "; echo $? > " + q(rcf) + "; sleep 30";
  std::string tmux = "env -u TMUX TMUX_TMPDIR=" + q(root) + " SHELL=/bin/sh tmux -L " + name + " -f /dev/null ";
  EngineResult r;
  if (!new_session(tmux, "-x 80 -y 24 " + q(cmd))) return r;
  for (int i = 0; i < 1500; ++i) {
    std::string s = slurp(rcf);
    if (!s.empty() && s.back() == '\n') {
      r.status = std::atoi(s.c_str());
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  sh(tmux + "kill-server 2>&1");
  r.err = slurp(errf);
  r.trace = slurp(tracef);
  return r;
}

// A test's own tmux server and directory below a suite's root: the engine
// started in it writes its standard error to dir/err, its exit status to
// dir/rc and a line per wait for a key to log (QUVO_WM_LOG); a key is
// sent and its wait awaited; the screen is read back with capture-pane.
class PaneTest : public ::testing::Test {
 protected:
  std::string name, dir, log;

  // Call from SetUp: a fresh directory root/<prefix>-PID-N.
  void open_pane(const std::string& root, const std::string& prefix) {
    static std::atomic<int> seq{0};
    name = prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(seq++);
    dir = root + "/" + name;
    mkdir(dir.c_str(), 0777);
    log = dir + "/wm.log";
  }
  void TearDown() override { tmux("kill-server"); }

  std::string tmux_prefix() {
    return "env -u TMUX TMUX_TMPDIR=" + q(dir) + " SHELL=/bin/sh LANG=C.UTF-8 tmux -u -L " + name + " -f /dev/null ";
  }
  std::string tmux(const std::string& args) { return sh(tmux_prefix() + args + " 2>&1"); }
  // Starts `cmd` (the engine's command line, settings first) in a pane
  // `cols` x 24; the log and status of an earlier run go first.
  void run_in_pane(const std::string& cmd, int cols = 80) {
    unlink(log.c_str());
    unlink((dir + "/rc").c_str());
    std::string line = "env -i PATH=/usr/bin:/bin HOME=" + q(dir) + " TERM=xterm LANG=C.UTF-8 QUVO_WM_LOG=" + q(log) +
                       sanitizer_env() + " " + cmd + " 2>" + q(dir + "/err") + "; echo $? > " + q(dir + "/rc") +
                       "; sleep 60";
    if (!new_session(tmux_prefix(), "-x " + std::to_string(cols) + " -y 24 " + q(line)))
      ADD_FAILURE() << "tmux made no session";
  }
  int waits_seen() {
    std::string s = slurp(log);
    return int(std::count(s.begin(), s.end(), '\n'));
  }
  // True once the engine has waited for a key n times (15 s at most).
  bool waits(int n) {
    for (int i = 0; i < 1500; ++i) {
      if (waits_seen() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // One key (a tmux key name) and the wait that follows it.
  void key(const std::string& k) {
    int before = waits_seen();
    tmux("send-keys " + k);
    EXPECT_TRUE(waits(before + 1)) << k << ": " << slurp(dir + "/err");
  }
  // The option's digits and ENTER, each with its wait.
  void option(int n) {
    for (char c : std::to_string(n)) key(std::string(1, c));
    key("Enter");
  }
  // The screen's 24 rows, trailing blanks dropped; with escapes its colours
  // and attributes as capture-pane -e writes them.
  std::vector<std::string> screen(bool escapes = false) {
    std::vector<std::string> rows;
    std::istringstream in(tmux(std::string("capture-pane -p") + (escapes ? " -e" : "")));
    for (std::string l; std::getline(in, l);) {
      while (!l.empty() && l.back() == ' ') l.pop_back();
      rows.push_back(l);
    }
    rows.resize(24);
    return rows;
  }
  // The cursor's column and row, 1-based.
  std::pair<int, int> cursor() {
    std::string s = tmux("display -p '#{cursor_x} #{cursor_y}'");
    int x = -1, y = -1;
    std::istringstream(s) >> x >> y;
    return {x + 1, y + 1};
  }
  // The engine's end: its exit status (-1 when it does not end) and
  // standard error.
  int ended(std::string* err) {
    for (int i = 0; i < 1500; ++i) {
      std::string s = slurp(dir + "/rc");
      if (!s.empty() && s.back() == '\n') {
        *err = slurp(dir + "/err");
        return std::atoi(s.c_str());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
};

}  // namespace tmuxrun
