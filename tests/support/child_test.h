// Test helper: runs one test of this test binary in a child process (as
// another engine would run beside this one) with some environment settings
// of its own; returns its exit status, or -1 when it did not exit.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>

// How many times longer work takes under the sanitizers: a test that kills
// a child after a random while stretches the while by it, so that the kills
// still come after as much work as in the plain build.
#if defined(__SANITIZE_ADDRESS__)
constexpr unsigned kChildSlowdown = 4;
#else
constexpr unsigned kChildSlowdown = 1;
#endif

// When to kill a child that is killed at a random instant of its work. On a
// slow or loaded machine a forked child can take longer than the whole kill
// window just to start (the fork, its page faults, dozens of system calls
// before its first operation), and would die before doing anything, round
// after round. So most kills count their delay from the child's report that
// an operation began (the after-th report); the others (from_fork) count it
// from the fork, so that some kills still fall while the child starts. A
// child that never reports is killed kCap after the fork all the same.
class KillClock {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kCap = std::chrono::seconds(5);
  // Made right before the fork.
  KillClock(uint32_t us, bool from_fork, int after = 1)
      : delay_(std::chrono::microseconds(us)), after_(from_fork ? 0 : after),
        due_(from_fork ? fork_ + delay_ : fork_ + kCap) {}
  // The child reported n operations begun.
  void reported(int n = 1) {
    if (after_ > 0 && (after_ -= n) <= 0) due_ = std::min(Clock::now() + delay_, fork_ + kCap);
  }
  // Waits on fd (the child's reports; none when -1) until the kill is due,
  // handing what arrives to took (which calls reported), or until the child
  // closed it (it ended).
  template <class Took>
  void wait(int fd, Took took) {
    for (auto now = Clock::now(); now < due_; now = Clock::now()) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(due_ - now).count();
      timeval tv{time_t(left / 1000000), suseconds_t(left % 1000000)};
      fd_set set;
      FD_ZERO(&set);
      if (fd >= 0) FD_SET(fd, &set);
      if (select(fd + 1, &set, nullptr, nullptr, &tv) <= 0) continue;
      uint8_t chunk[65536];
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return;
      took(chunk, size_t(n));
    }
  }

 private:
  Clock::time_point fork_ = Clock::now();
  Clock::duration delay_;
  int after_;
  Clock::time_point due_;
};

// The reports of a child that has nothing else to say: a byte on a pipe
// as each operation begins. Made before the fork.
class BeginPipe {
 public:
  BeginPipe() {
    if (pipe2(fd_, O_CLOEXEC) != 0) fd_[0] = fd_[1] = -1;
  }
  ~BeginPipe() {
    for (int f : fd_)
      if (f >= 0) close(f);
  }
  // In the child.
  void begun() const {
    char c = 0;
    if (write(fd_[1], &c, 1) != 1) _exit(4);
  }
  // In the parent: kills the child when the clock says.
  void kill_when_due(pid_t pid, KillClock& clock) {
    close(fd_[1]);
    fd_[1] = -1;
    clock.wait(fd_[0], [&](const uint8_t*, size_t n) { clock.reported(int(n)); });
    kill(pid, SIGKILL);
  }

 private:
  int fd_[2];
};

// Waiting for another process to reach a state: step looks (Wait: not
// yet), every 10 ms until it says Done (true) or Failed, or the limit
// passed (false). The limit is generous: a loaded machine is slow, and
// only a failing test waits it out.
enum class Poll { Wait, Done, Failed };
template <class Step>
bool poll_until(Step step, std::chrono::steady_clock::duration limit = std::chrono::minutes(1)) {
  for (auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    Poll p = step();
    if (p != Poll::Wait) return p == Poll::Done;
  }
  return false;
}

// Whether the process pid catches sig (its handler set): early in its
// start it does not yet, and the signal would end it as the system does.
inline bool catches_signal(pid_t pid, int sig) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("SigCgt:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16) >> (sig - 1) & 1;
  return false;
}

inline int run_child_test(const char* filter,
                          std::initializer_list<std::pair<const char*, std::string>> env) {
  std::string arg = std::string("--gtest_filter=") + filter;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    for (const auto& [name, value] : env) setenv(name, value.c_str(), 1);
    // The child runs its one test whatever shard its parent ran in.
    unsetenv("GTEST_TOTAL_SHARDS");
    unsetenv("GTEST_SHARD_INDEX");
    execl("/proc/self/exe", "child", arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int st = 0;
  if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st)) return -1;
  return WEXITSTATUS(st);
}
