// The crash harness of the native record files, shared by the CTest crash
// test and the long soak (brf_soak).
//
// A child process runs random writes, rewrites and deletes of variable-length
// records (or of records of one length: layout(kFixed)) on one file and
// reports each operation on a pipe twice: before it starts ("intent") and
// after it returned success ("done"). The parent kills
// the child with SIGKILL at a random instant, reads what the child reported,
// opens the file (which rolls back a change the child left unfinished),
// verifies it, and compares every record with the acknowledged state: the
// file must hold exactly the operations reported done, plus possibly the one
// operation that was under way when the child died (it was never
// acknowledged, so either outcome is right).
//
// Rebuilds and reorganisations are killed the same way (rebuild_round): at a
// given step of the utility (its n-th sync, rename or link, as the file
// services' trace sees them), or at a random instant of a child running it
// over and over. The file must then open as it is, verify sound and hold the
// same records.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "files/brf.h"
#include "files/brfanal.h"
#include "files/fm.h"
#include "files/unixio.h"
#include "support/child_test.h"

namespace brf_crash {

constexpr uint32_t kKeys = 1500;
constexpr uint16_t kFixed = 240;  // the record length of a fixed-length run

// One reported operation.
struct Msg {
  uint8_t kind;      // 'I' intent, 'D' done
  uint8_t op;        // 'w' write, 'r' rewrite, 'd' delete
  uint16_t spare;
  uint32_t key;      // key id
  uint32_t version;  // content version (write, rewrite)
};

inline uint32_t rec_len(uint32_t key, uint32_t version) {
  uint32_t h = key * 2654435761u ^ version * 40503u;
  h ^= h >> 13;
  return (h % 8 == 0) ? 24 + h % 1800 : 24 + h % 200;
}

// The record of a key at a version: unique key at 0 (20), group at 20 (4);
// fixed: the length of a file of fixed-length records.
inline std::vector<uint8_t> make(uint32_t key, uint32_t version, uint32_t fixed = 0) {
  std::vector<uint8_t> r(fixed ? fixed : rec_len(key, version));
  char k[32];
  std::snprintf(k, sizeof k, "C%019u", key);
  std::memcpy(r.data(), k, 20);
  uint32_t group = key % 17;
  std::memcpy(r.data() + 20, &group, 4);
  for (size_t i = 24; i < r.size(); ++i) r[i] = uint8_t(key * 13 + version * 7 + i);
  return r;
}

inline BrfLayout layout(uint16_t fixed = 0) {
  BrfLayout lay;
  lay.rec_len = fixed ? fixed : 2100;
  lay.var = fixed ? 0 : 1;
  BrfKeyDef k0;
  k0.key_no = 0;
  BrfSeg s0;
  s0.offset = 0;
  s0.length = 20;
  s0.type = 1;
  s0.order = '+';
  k0.segs.push_back(s0);
  BrfKeyDef k1;
  k1.key_no = 1;
  k1.flags = kBrfKeyDup;
  BrfSeg s1;
  s1.offset = 20;
  s1.length = 4;
  s1.type = 8;
  s1.order = '-';
  k1.segs.push_back(s1);
  lay.keys = {k0, k1};
  return lay;
}

// The child: random operations until killed. The state it starts from is
// the one the parent knows (versions by key).
[[noreturn]] inline void child(const std::string& path, int fd, uint32_t seed,
                               std::map<uint32_t, uint32_t> versions) {
  BrfFile* f;
  if (brf_open(path, false, &f)) _exit(3);
  const uint32_t fixed = f->lay.var ? 0 : f->lay.rec_len;
  std::mt19937 rng(seed);
  auto send = [&](Msg m) {
    if (write(fd, &m, sizeof m) != ssize_t(sizeof m)) _exit(4);
  };
  std::vector<uint8_t> buf(4096);
  for (;;) {
    uint32_t key = rng() % kKeys;
    auto it = versions.find(key);
    uint8_t key20[20];
    char k[32];
    std::snprintf(k, sizeof k, "C%019u", key);
    std::memcpy(key20, k, 20);
    if (it == versions.end()) {
      uint32_t v = rng() % 100000 + 1;
      auto r = make(key, v, fixed);
      send({'I', 'w', 0, key, v});
      uint32_t rid;
      if (brf_insert(f, r.data(), uint32_t(r.size()), &rid)) _exit(5);
      send({'D', 'w', 0, key, v});
      versions[key] = v;
      continue;
    }
    BtCursor c;
    BrfRead rd;
    rd.buf = buf.data();
    rd.cap = uint32_t(buf.size());
    if (brf_seek(f, 0, key20, 20, BrfSeek::Exact, c, rd)) _exit(6);
    if (rng() % 3 == 0) {
      send({'I', 'd', 0, key, 0});
      if (brf_remove(f, rd.rid)) _exit(7);
      send({'D', 'd', 0, key, 0});
      versions.erase(it);
    } else {
      uint32_t v = rng() % 100000 + 1;
      auto r = make(key, v, fixed);
      send({'I', 'r', 0, key, v});
      if (brf_update(f, rd.rid, r.data(), uint32_t(r.size()))) _exit(8);
      send({'D', 'r', 0, key, v});
      it->second = v;
    }
  }
}

struct Round {
  uint32_t acked = 0;        // operations acknowledged in this round
  bool inflight_applied = false;
  std::string error;         // empty when the file was right
};

// Every record of an open file by key (key id -> bytes): FM_ST_EOF when all
// were read, else the status that stopped the scan.
inline uint32_t read_all(BrfFile* f, std::map<uint32_t, std::vector<uint8_t>>* have) {
  std::vector<uint8_t> buf(4096);
  BtCursor c;
  BrfRead rd;
  rd.buf = buf.data();
  rd.cap = uint32_t(buf.size());
  uint8_t none = 0;
  uint32_t st = brf_seek(f, 0, &none, 0, BrfSeek::AtLeast, c, rd);
  while (st == 0) {
    uint32_t key = uint32_t(std::strtoul(reinterpret_cast<char*>(buf.data()) + 1, nullptr, 10));
    (*have)[key].assign(buf.begin(), buf.begin() + rd.len);
    st = brf_next(f, 0, c, rd);
  }
  return st;
}

// A child that may not write the file (another user when this is the
// superuser, who writes whatever the modes say) opens it and reads every
// record. 0: read whole and as versions says; 3: refused at the open; 4:
// refused on reading (or opened for writing); 5: other records; 100 + the
// wait status when it did not exit.
inline int read_as_reader(const std::string& path, const std::map<uint32_t, uint32_t>& versions) {
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    BrfFile* r;
    if (brf_open(path, false, &r)) {
      std::fprintf(stderr, "%s\n", brf_error().c_str());
      _exit(3);
    }
    std::map<uint32_t, std::vector<uint8_t>> have;
    if (r->st.writable || read_all(r, &have) != FM_ST_EOF) _exit(4);
    bool same = have.size() == versions.size();
    for (const auto& [key, v] : versions) same = same && have[key] == make(key, v);
    _exit(same ? 0 : 5);
  }
  int ws = 0;
  waitpid(pid, &ws, 0);
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : 100 + ws;
}

// Reads the file's whole content by key: key -> version (0 when the record's
// bytes match no version of the map entry).
inline bool check(const std::string& path, const std::map<uint32_t, uint32_t>& want,
                  const std::optional<std::pair<uint32_t, uint32_t>>& alt, bool alt_delete, std::string* why,
                  bool* alt_seen) {
  BrfCheck chk;
  if (brfanal_verify(path, &chk) != 0 || !chk.sound()) {
    *why = "verify: " + (chk.problems.empty() ? brf_error() : chk.problems.front());
    return false;
  }
  BrfFile* f;
  if (brf_open(path, false, &f)) {
    *why = "open: " + brf_error();
    return false;
  }
  std::map<uint32_t, std::vector<uint8_t>> have;
  uint32_t st = read_all(f, &have);
  const uint32_t fixed = f->lay.var ? 0 : f->lay.rec_len;
  brf_close(f, false);
  if (st != FM_ST_EOF) {
    *why = "scan: " + brf_error();
    return false;
  }
  *alt_seen = false;
  // The in-flight operation may or may not have happened.
  auto matches = [&](const std::map<uint32_t, uint32_t>& w) {
    if (w.size() != have.size()) return false;
    for (auto& [k, v] : w) {
      auto it = have.find(k);
      if (it == have.end() || it->second != make(k, v, fixed)) return false;
    }
    return true;
  };
  if (matches(want)) return true;
  if (alt) {
    std::map<uint32_t, uint32_t> w2 = want;
    if (alt_delete) w2.erase(alt->first);
    else w2[alt->first] = alt->second;
    if (matches(w2)) {
      *alt_seen = true;
      return true;
    }
  }
  *why = "the records differ from the acknowledged state (" + std::to_string(have.size()) + " on file, " +
         std::to_string(want.size()) + " acknowledged)";
  return false;
}

// One round: fork, run, kill at most max_us microseconds after one of the
// child's first messages (now and then after the fork: KillClock), check.
// versions is the acknowledged state, updated.
inline Round round(const std::string& path, std::map<uint32_t, uint32_t>& versions, std::mt19937& rng,
                   uint32_t max_us) {
  Round out;
  int fds[2];
  if (pipe(fds) != 0) {
    out.error = "pipe";
    return out;
  }
  uint32_t seed = rng();
  // The child writes ahead into the pipe, a message as each operation
  // begins and ends: the delay counts from a random one of its first 30
  // messages, so that each round has operations done however slow the
  // machine (a build with sanitizers, a loaded one).
  uint32_t us = rng() % max_us * kChildSlowdown;
  KillClock clock(us, rng() % 8 == 0, 1 + int(rng() % 30));
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    child(path, fds[1], seed, versions);
  }
  close(fds[1]);
  std::vector<uint8_t> data;
  clock.wait(fds[0], [&](const uint8_t* chunk, size_t n) {
    data.insert(data.end(), chunk, chunk + n);
    clock.reported(int(n / sizeof(Msg)));  // (each written whole: a pipe's write of a few bytes is)
  });
  kill(pid, SIGKILL);
  int ws;
  waitpid(pid, &ws, 0);
  for (;;) {
    uint8_t chunk[65536];
    ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  close(fds[0]);
  if (!(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGKILL)) {
    out.error = "the child ended by itself (status " + std::to_string(ws) + ")";
    return out;
  }
  std::optional<std::pair<uint32_t, uint32_t>> alt;
  bool alt_delete = false;
  size_t n = data.size() / sizeof(Msg);
  for (size_t i = 0; i < n; ++i) {
    Msg m;
    std::memcpy(&m, data.data() + i * sizeof(Msg), sizeof m);
    if (m.kind == 'I') {
      alt = std::make_pair(m.key, m.version);
      alt_delete = m.op == 'd';
      continue;
    }
    alt.reset();
    ++out.acked;
    if (m.op == 'd') versions.erase(m.key);
    else versions[m.key] = m.version;
  }
  std::string why;
  bool alt_seen = false;
  if (!check(path, versions, alt, alt_delete, &why, &alt_seen)) {
    out.error = why;
    return out;
  }
  if (alt_seen) {
    out.inflight_applied = true;
    if (alt_delete) versions.erase(alt->first);
    else versions[alt->first] = alt->second;
  }
  return out;
}

// The utilities that rewrite a whole file.
using Utility = uint32_t (*)(const std::string& path);
inline uint32_t rebuild(const std::string& path) { return brfanal_rebuild(path, nullptr); }
inline uint32_t reorganise(const std::string& path) { return brf_reorganise(path); }

// The steps of a rebuild, counted by the trace; at kill_at the process
// kills itself before the step is made.
struct StepKill {
  static inline int seen = 0;
  static inline int kill_at = 0;
  static int trace(UioStep, int, const char*, const char*) {
    if (++seen == kill_at) raise(SIGKILL);
    return 0;
  }
};

// The steps one run of the utility makes (it runs on the file).
inline int rebuild_steps(const std::string& path, std::string* why, Utility run = rebuild) {
  StepKill::seen = 0;
  StepKill::kill_at = 0;
  uio_set_trace(StepKill::trace);
  uint32_t st = run(path);
  uio_set_trace(nullptr);
  if (st) *why = "utility: " + brf_error();
  return StepKill::seen;
}

// A child runs the utility on the file and is killed before its step-th
// step (step 0: us microseconds after it began running it over and over, or
// after the fork when from_fork: KillClock). The child's wait status.
inline int kill_at_step(const std::string& path, int step, Utility run, uint32_t us = 0, bool from_fork = false) {
  BeginPipe begins;
  KillClock clock(us, from_fork);
  pid_t pid = fork();
  if (pid == 0) {
    if (step) {
      StepKill::seen = 0;
      StepKill::kill_at = step;
      uio_set_trace(StepKill::trace);
      run(path);
      _exit(0);
    }
    for (;;) {
      begins.begun();
      if (run(path)) _exit(9);
    }
  }
  if (!step) begins.kill_when_due(pid, clock);
  int ws = 0;
  waitpid(pid, &ws, 0);
  return ws;
}

// kill_at_step, then the file checked against versions; the error, empty
// when it is right.
inline std::string rebuild_round(const std::string& path, const std::map<uint32_t, uint32_t>& versions, int step,
                                 std::mt19937& rng, uint32_t max_us, Utility run = rebuild) {
  uint32_t us = step ? 0 : rng() % max_us;
  int ws = kill_at_step(path, step, run, us, !step && rng() % 8 == 0);
  if (!(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGKILL))
    return "the utility ended by itself (status " + std::to_string(ws) + ")";
  // Whatever is under the file's names is the group's, as it was: a new
  // file goes there only once it is (a private one is left beside them).
  for (const std::string& f : {path, brf_index_path(path), brf_journal_path(path)}) {
    struct stat st;
    if (::lstat(f.c_str(), &st) == 0 && (st.st_mode & 07777) != kUioFileMode)
      return f + " has mode " + std::to_string(st.st_mode & 07777) + " after the kill";
  }
  std::string why;
  bool alt_seen;
  if (!check(path, versions, std::nullopt, false, &why, &alt_seen)) return why;
  return "";
}

}  // namespace brf_crash
