// Test helper: the real engine run as a person runs it, in a private tmux
// server (80 x 24) on a bootstrapped data directory; shell commands, quoting
// and reading back the files the run wrote.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <thread>

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
  sh(tmux + "new-session -d -x 80 -y 24 " + q(cmd) + " 2>&1");
  EngineResult r;
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

}  // namespace tmuxrun
