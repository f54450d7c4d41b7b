// Test helper: runs one test of this test binary in a child process (as
// another engine would run beside this one) with some environment settings
// of its own; returns its exit status, or -1 when it did not exit.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

// How many times longer work takes under the sanitizers: a test that kills
// a child after a random while stretches the while by it, so that the kills
// still come after as much work as in the plain build.
#if defined(__SANITIZE_ADDRESS__)
constexpr unsigned kChildSlowdown = 4;
#else
constexpr unsigned kChildSlowdown = 1;
#endif

inline int run_child_test(const char* filter,
                          std::initializer_list<std::pair<const char*, std::string>> env) {
  std::string arg = std::string("--gtest_filter=") + filter;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    for (const auto& [name, value] : env) setenv(name, value.c_str(), 1);
    execl("/proc/self/exe", "child", arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int st = 0;
  if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st)) return -1;
  return WEXITSTATUS(st);
}
