// Test helper: runs the quvo binary as a user would, with an explicit
// environment (nothing inherited but PATH and the sanitizer settings), and
// returns its exit status and what it wrote; plus a temporary directory.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <fstream>
#include <string>
#include <vector>

struct QuvoRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// The environment of a run: env, then what is kept of the test's own (a
// name given in env comes first and so wins).
inline std::vector<std::string> quvo_env(const std::vector<std::string>& env) {
  std::vector<std::string> e = env;
  for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "QUVO_BOOT_SRC"})
    if (const char* v = std::getenv(keep)) e.push_back(std::string(keep) + "=" + v);
  return e;
}

// The null-terminated pointer array of a vector of strings.
inline std::vector<char*> quvo_cstrs(std::vector<std::string>& v) {
  std::vector<char*> p;
  for (auto& s : v) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// Starts quvo with args in the environment of a run, its standard streams on
// /dev/null, and does not wait: its process id, or -1.
inline pid_t start_quvo(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> a{QUVO_BINARY}, e = quvo_env(env);
  a.insert(a.end(), args.begin(), args.end());
  std::vector<char*> av = quvo_cstrs(a), ev = quvo_cstrs(e);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", O_RDWR, 0);
  pid_t pid;
  int rc = posix_spawn(&pid, av[0], &fa, nullptr, av.data(), ev.data());
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

// prefix: a program that runs quvo (setpriv, to run it as another user);
// binary: the engine (the suite's, which honours the test hooks, or
// QUVO_USER_BINARY, the engine users run).
inline QuvoRun run_quvo(const std::vector<std::string>& args, const std::vector<std::string>& env,
                        const std::vector<std::string>& prefix = {}, const char* binary = QUVO_BINARY) {
  std::vector<std::string> a = prefix;
  a.push_back(binary);
  a.insert(a.end(), args.begin(), args.end());
  std::vector<std::string> e = quvo_env(env);
  std::vector<char*> av = quvo_cstrs(a), ev = quvo_cstrs(e);

  int po[2], pe[2];
  QuvoRun r;
  if (pipe(po) != 0 || pipe(pe) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, po[1], 1);
  posix_spawn_file_actions_adddup2(&fa, pe[1], 2);
  posix_spawn_file_actions_addclose(&fa, po[0]);
  posix_spawn_file_actions_addclose(&fa, pe[0]);
  pid_t pid;
  int rc = posix_spawn(&pid, av[0], &fa, nullptr, av.data(), ev.data());
  posix_spawn_file_actions_destroy(&fa);
  close(po[1]);
  close(pe[1]);
  if (rc != 0) {
    close(po[0]);
    close(pe[0]);
    return r;
  }
  pollfd fds[2] = {{po[0], POLLIN, 0}, {pe[0], POLLIN, 0}};
  int open_fds = 2;
  char buf[4096];
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      } else {
        (i == 0 ? r.out : r.err).append(buf, size_t(n));
      }
    }
  }
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
  return r;
}

// Whether a run ended with status and its standard error says every text of has.
inline ::testing::AssertionResult ended(const QuvoRun& r, int status, std::initializer_list<std::string> has = {}) {
  if (r.status != status)
    return ::testing::AssertionFailure() << "status " << r.status << ", not " << status << "; stderr:\n" << r.err;
  for (const std::string& h : has)
    if (r.err.find(h) == std::string::npos)
      return ::testing::AssertionFailure() << "stderr does not say \"" << h << "\":\n" << r.err;
  return ::testing::AssertionSuccess();
}

// A fresh temporary directory, removed with its contents at the end.
struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "quvo-test-XXXXXX").string();
    char* p = mkdtemp(t.data());
    path = p ? p : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string str() const { return path.string(); }
  std::string sub(const std::string& name) const { return (path / name).string(); }
  // Writes a file below the directory (creating its folders).
  void write(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories((path / name).parent_path());
    std::ofstream(path / name) << text;
  }
};
