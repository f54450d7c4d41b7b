// Response time at a terminal: the engine users run (quvo) on a
// pseudo-terminal (TERM=xterm, 80 x 24) runs the Input process IP CUSTOMER
// of the test application IPA (tests/executors/ip-app) over its CUSTOMER
// file. Each wait for a key writes a line to QUVO_WM_LOG with the monotonic
// times when the wait began and when the key that ended the previous wait
// was read; the latency of a key is the first minus the second of the wait
// that follows it.
//
//   BM_TypeCharacter  a character typed into the name field (each followed
//                     by a BACKSPACE, not counted)
//   BM_ChangeEnter    ENTER in Change mode on a customer whose name was
//                     changed: verification, the event points, the native
//                     rewrite and the next display (the key typed again,
//                     the record read and a character changed before each,
//                     not counted)
//   BM_OneItemChange, BM_FullRepaint  the anchors: bench_wm_refresh's two
//                     benchmarks, run as a child program in the same run
//
// Each latency benchmark runs once over kKeys keys: counters p50_ms and
// p99_ms, and each against its anchor's time per iteration (x_one_item and
// x_one_item_p99, x_repaint and x_repaint_p99). TMPDIR names
// the directory of the data directory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_world.h"

namespace {

constexpr int kKeys = 1000;

using benchworld::sh;

// A data directory with IPA added and its customer file made.
struct World : benchworld::World {
  World() : benchworld::World("ip", QUVO_IP_APP, "IPA") {
    if (error.empty() && run("IPD", "IPA", "'IP SETUP'") != 127) error = "setup failed (" + root + "/setup.log)";
  }
};

World& world() {
  static World w;
  return w;
}

// The engine on a pseudo-terminal: what it writes is read and dropped; keys
// go in one at a time, each followed by the wait it leads to.
class Terminal {
 public:
  std::string error;

  explicit Terminal(const World& w) {
    log_ = w.root + "/wm.log";
    std::filesystem::remove(log_);
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      error = "no pseudo-terminal";
      return;
    }
    std::string slave = ptsname(master_);
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = 80;
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      int s = open(slave.c_str(), O_RDWR);
      ioctl(s, TIOCSCTTY, 0);
      ioctl(s, TIOCSWINSZ, &ws);
      dup2(s, 0);
      dup2(s, 1);
      dup2(s, 2);
      if (s > 2) close(s);
      close(master_);
      std::string env_path = "QUVOPATH=" + w.var, env_log = "QUVO_WM_LOG=" + log_;
      char* env[] = {const_cast<char*>("TERM=xterm"), const_cast<char*>("LANG=C.UTF-8"),
                     const_cast<char*>("PATH=/usr/bin:/bin"), env_path.data(), env_log.data(), nullptr};
      char* argv[] = {const_cast<char*>(QUVO_ENGINE), const_cast<char*>("-d"), const_cast<char*>("IPD"),
                      const_cast<char*>("-a"),        const_cast<char*>("IPA"), const_cast<char*>("-t"),
                      const_cast<char*>("Input"),     const_cast<char*>("-p"),  const_cast<char*>("IP CUSTOMER"),
                      nullptr};
      execve(QUVO_ENGINE, argv, env);
      _exit(126);
    }
    drain_ = std::thread([this] {
      char buf[4096];
      while (!stop_) {
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) break;

      }
    });
    if (!next_wait()) error = "the engine did not wait for a key (" + log_ + ")";
  }
  ~Terminal() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    stop_ = true;
    if (log_fd_ >= 0) close(log_fd_);
    if (master_ >= 0) close(master_);
    if (drain_.joinable()) drain_.join();
  }

  // Sends a key and waits for the wait it leads to: the key's latency in
  // µs, or -1 when no wait came.
  long long key(const std::string& bytes) {
    if (write(master_, bytes.data(), bytes.size()) != ssize_t(bytes.size())) return -1;
    if (!next_wait()) return -1;
    return (long long)(at_ - key_at_);
  }

 private:
  // Reads the log up to its next whole line; false after 10 s without one.
  bool next_wait() {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        unsigned long long s = 0, w = 0;
        char what[32];
        return std::sscanf(line.c_str(), "%31s show %llu wait %llu at %llu key %llu", what, &s, &w, &at_, &key_at_) ==
               5;
      }
      if (std::chrono::steady_clock::now() > until) return false;
      if (log_fd_ < 0) log_fd_ = open(log_.c_str(), O_RDONLY);
      char buf[4096];
      ssize_t n = log_fd_ >= 0 ? read(log_fd_, buf, sizeof buf) : 0;
      if (n > 0) pending_.append(buf, size_t(n));
      else std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  }

  std::string log_;
  int log_fd_ = -1;
  std::string pending_;  // what was read of the log beyond its last whole line
  unsigned long long at_ = 0, key_at_ = 0;
  int master_ = -1;
  pid_t pid_ = -1;
  std::thread drain_;
  std::atomic<bool> stop_{false};
};

// The anchors, from one run of bench_wm_refresh: ns per iteration.
struct Anchors {
  double one_item = 0, repaint = 0;
  std::string error;
  Anchors() {
    std::string out = world().root + "/anchors.json";
    if (sh(std::string(BENCH_WM_REFRESH) + " --benchmark_format=json >" + out + " 2>/dev/null") != 0) {
      error = "bench_wm_refresh failed";
      return;
    }
    std::ifstream in(out);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string j = ss.str();
    auto time_of = [&](const std::string& name) {
      size_t at = j.find("\"name\": \"" + name + "\"");
      if (at == std::string::npos) return 0.0;
      size_t t = j.find("\"real_time\":", at);
      size_t u = j.find("\"time_unit\": \"", at);
      if (t == std::string::npos || u == std::string::npos) return 0.0;
      double v = std::atof(j.c_str() + t + 12);
      std::string unit = j.substr(u + 14, 2);
      return unit == "us" ? v * 1e3 : unit == "ms" ? v * 1e6 : v;
    };
    one_item = time_of("BM_OneItemChange");
    repaint = time_of("BM_FullRepaint");
    if (one_item <= 0 || repaint <= 0) error = "bench_wm_refresh gave no times";
  }
};

Anchors& anchors() {
  static Anchors a;
  return a;
}

double pct(std::vector<long long> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
  return double(v[i]) / 1000.0;  // ms
}

void report(benchmark::State& st, const std::vector<long long>& us, double anchor_ns, const char* ratio) {
  double p50 = pct(us, 0.5), p99 = pct(us, 0.99);
  st.counters["p50_ms"] = p50;
  st.counters["p99_ms"] = p99;
  st.counters[ratio] = p50 * 1e6 / anchor_ns;
  st.counters[std::string(ratio) + "_p99"] = p99 * 1e6 / anchor_ns;
}

// The engine's data directory and the anchors, or the run skipped with why.
bool set_up(benchmark::State& st, const Anchors& a) {
  const World& w = world();
  if (w.error.empty() && a.error.empty()) return true;
  st.SkipWithError((w.error + a.error).c_str());
  return false;
}

void BM_TypeCharacter(benchmark::State& st) {
  Anchors& a = anchors();
  if (!set_up(st, a)) return;
  for (auto _ : st) {
    Terminal t(world());
    if (!t.error.empty()) {
      st.SkipWithError(t.error.c_str());
      return;
    }
    std::vector<long long> us;
    // The code, then the name field.
    if (t.key("K") < 0 || t.key("\t") < 0) {
      st.SkipWithError("no wait after a key");
      return;
    }
    for (int i = 0; i < kKeys; ++i) {
      long long l = t.key("x");
      if (l < 0 || t.key("\x7f") < 0) {
        st.SkipWithError("no wait after a key");
        return;
      }
      us.push_back(l);
    }
    report(st, us, a.one_item, "x_one_item");
  }
}
BENCHMARK(BM_TypeCharacter)->Iterations(1)->Unit(benchmark::kMillisecond);

// Keys typed one after another, each with its wait; false when one got none.
bool keys(Terminal& t, std::initializer_list<const char*> ks) {
  for (const char* k : ks)
    if (t.key(k) < 0) return false;
  return true;
}

void BM_ChangeEnter(benchmark::State& st) {
  Anchors& a = anchors();
  if (!set_up(st, a)) return;
  for (auto _ : st) {
    Terminal t(world());
    if (!t.error.empty()) {
      st.SkipWithError(t.error.c_str());
      return;
    }
    // A customer added (Add mode: code, name, amount, date), then Change
    // mode (F8).
    if (!keys(t, {"\x15", "K", "9", "\t", "N", "\t", "\x15", "1", "\t", "2", "0", "2", "6", "-", "0", "1", "-",
                  "3", "1", "\r", "\x1b[19~"})) {
      st.SkipWithError("no wait after a key");
      return;
    }
    std::vector<long long> us;
    for (int i = 0; i < kKeys; ++i) {
      // Key entry: the code, ENTER reads it; the amount changed; ENTER
      // (measured) rewrites it and shows key entry again.
      const char* digit = i % 2 ? "2" : "3";
      if (!keys(t, {"\x15", "K", "9", "\r", "\t", "\t", "\x15", digit})) {
        std::string e = "no wait after a key of change " + std::to_string(i + 1);
        st.SkipWithError(e.c_str());
        return;
      }
      long long l = t.key("\r");
      if (l < 0) {
        std::string e = "no wait after ENTER of change " + std::to_string(i + 1);
        st.SkipWithError(e.c_str());
        return;
      }
      us.push_back(l);
    }
    report(st, us, a.repaint, "x_repaint");
  }
}
BENCHMARK(BM_ChangeEnter)->Iterations(1)->Unit(benchmark::kMillisecond);

// The anchors as this run measured them (ms per iteration).
void BM_WmRefreshAnchors(benchmark::State& st) {
  Anchors& a = anchors();
  if (!a.error.empty()) {
    st.SkipWithError(a.error.c_str());
    return;
  }
  for (auto _ : st) benchmark::DoNotOptimize(a.one_item);
  st.counters["one_item_ms"] = a.one_item / 1e6;
  st.counters["repaint_ms"] = a.repaint / 1e6;
}
BENCHMARK(BM_WmRefreshAnchors)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
