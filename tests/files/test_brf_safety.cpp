// The native files' safety: flushes whose failure is reported, the order of
// flushes and renames in sync mode, locks released on every way out (also a
// fault), names that are never followed or truncated, modes whatever the
// umask, lock waits that no reader can make endless and a user can cancel,
// and key lengths that a change of the shared header cannot enlarge.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "files/brf.h"
#include "files/brf_support.h"
#include "files/brfanal.h"
#include "files/fm.h"
#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/ssunix.h"
#include "foundation/ut.h"
#include "support/child_test.h"

namespace {

constexpr uint16_t kLen = 200;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool is_regular(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The path an open descriptor names.
std::string fd_path(int fd) {
  char link[64], buf[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = ::readlink(link, buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, size_t(n)) : "";
}

// Takes a lock of the type on a byte of a file, without waiting (in a
// forked child: the lock is the child's).
bool lock_byte(const std::string& path, uint64_t off, short type) {
  int fd = ::open(path.c_str(), type == F_WRLCK ? O_RDWR : O_RDONLY);
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = off_t(off);
  fl.l_len = 1;
  return fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0;
}

// A child that holds a lock on a byte of a file until killed.
struct LockHolder {
  pid_t pid = -1;
  LockHolder(const std::string& path, uint64_t off, short type)
      : LockHolder([&] { return lock_byte(path, off, type); }) {}
  // take: what the child does to take its lock.
  template <class Take>
  explicit LockHolder(Take take) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::close(ready[0]);
      char ok = take() ? 'y' : 'n';
      if (::write(ready[1], &ok, 1) != 1) _exit(1);
      ::pause();
      _exit(0);
    }
    ::close(ready[1]);
    char ok = 'n';
    if (::read(ready[0], &ok, 1) != 1 || ok != 'y') {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      pid = -1;
    }
    ::close(ready[0]);
  }
  ~LockHolder() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

// A child that holds the change lock of a native file until killed.
struct ChangeLockHolder : LockHolder {
  explicit ChangeLockHolder(const std::string& path)
      : LockHolder([&] {
          BrfFile* g = nullptr;
          return brf_open(path, false, &g) == 0 && bt_lock(g->st) == kBtOk;
        }) {}
};

// A child that holds a record of a native file until killed.
struct RecordHolder : LockHolder {
  RecordHolder(const std::string& path, uint32_t rid)
      : LockHolder([&] {
          BrfFile* g = nullptr;
          static int owner;
          return brf_open(path, false, &g) == 0 && brf_hold(g, &owner, rid, kUioNoWait) == 0;
        }) {}
};

// Whether the change lock is free: this process holds none, and its word
// names no holder (another process takes it at once).
bool change_lock_free(BrfFile* f) { return f->st.ilock == 0 && bt_hdr(f->st).lock_owner.get() == 0; }

// Waits (a minute at most) until a process counts itself among the waiters
// for the change lock of the file. False when it ended first.
bool waits_for_change_lock(const std::string& path, pid_t pid) {
  int fd = ::open(brf_index_path(path).c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool waits = poll_until([&] {
    siginfo_t ended{};
    if (::waitid(P_PID, id_t(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid != 0) return Poll::Failed;
    uint32_t n = 0;
    return ::pread(fd, &n, sizeof n, offsetof(BtHdr, lock_waiters)) == sizeof n && n != 0 ? Poll::Done : Poll::Wait;
  });
  ::close(fd);
  return waits;
}

BrfFile* g_file = nullptr;  // the open file whose steps the traces name

class BrfSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    path = dir.file("F");
    bi_init_com();
  }
  void TearDown() override {
    uio_set_trace(nullptr);
    g_file = nullptr;
    uio_set_sync_mode(-1);
    uio_set_cancel_check(nullptr);
    if (f) brf_close(f, false);
  }
  void make(int records) {
    ASSERT_EQ(brf_create(path, brf_test_layout(kLen), false, &f), 0u) << brf_error();
    for (int i = 0; i < records; ++i) ASSERT_EQ(insert(uint32_t(i)), 0u) << brf_error();
  }
  uint32_t insert(uint32_t id) {
    uint8_t rec[kLen];
    brf_make_rec(rec, kLen, id, id % 7);
    uint32_t rid;
    return brf_insert(f, rec, kLen, &rid);
  }
  // The record id of record id (0 when absent).
  uint32_t rid_of(uint32_t id) {
    uint8_t rec[kLen], key[kBtMaxKey];
    brf_make_rec(rec, kLen, id, id % 7);
    brf_key_of(f, 0, rec, kLen, 0, key);
    BrfReader rd(kLen);
    return rd.seek(f, 0, key, 20) == 0 ? rd.r.rid : 0;
  }
  bool present(uint32_t id) {
    uint8_t rec[kLen], key[kBtMaxKey];
    brf_make_rec(rec, kLen, id, id % 7);
    brf_key_of(f, 0, rec, kLen, 0, key);
    return BrfReader(kLen).seek(f, 0, key, 20) == 0;
  }
  void close_file() {
    brf_close(f, false);
    f = nullptr;
  }
  bool sound() {
    BrfCheck c;
    return brfanal_verify(path, &c) == 0 && c.sound();
  }

  BrfTempDir dir;
  std::string path;
  BrfFile* f = nullptr;
};

// ------------------------------------------------------- failing flushes --
struct Injection {
  std::string suffix;  // "", ".ix", ".jn": which file's flush fails
  int nth = 1;         // its nth flush from now
  int seen = 0;
};
Injection g_inject;
std::string g_path;

// Which of the file's three a descriptor is: "", ".ix", ".jn" (or its path's
// end when no file is open yet).
std::string suffix_of(int fd) {
  if (g_file && fd == g_file->st.dfd) return "";
  if (g_file && fd == g_file->st.ifd) return ".ix";
  if (g_file && fd == g_file->st.jfd) return ".jn";
  std::string fp = fd_path(fd);
  return fp.size() >= g_path.size() ? fp.substr(g_path.size()) : fp;
}

int fail_nth_sync(UioStep step, int fd, const char*, const char*) {
  if (step != UioStep::Sync || suffix_of(fd) != g_inject.suffix) return 0;
  return ++g_inject.seen == g_inject.nth ? EIO : 0;
}

// A change whose flush fails is reported failed, and is not there; the file
// stays sound. A flush that fails after the change completed is reported
// too (the change stands, but is not known to be on the disk).
TEST_F(BrfSafety, AFailedFlushIsReportedAndTheFileStaysSound) {
  uio_set_sync_mode(1);
  make(3);
  g_path = path;
  g_file = f;
  struct Case {
    const char* suffix;
    int nth;
    bool stands;
  } cases[] = {
      {".jn", 1, false},  // the first journal entry
      {".ix", 1, false},  // the odd counter at the beginning
      {"", 1, false},     // the data before the counter completes
      {".ix", 2, false},  // the index before the counter completes
      {".ix", 3, true},   // the counter itself
  };
  uint32_t id = 100;
  for (const Case& c : cases) {
    g_inject = Injection{c.suffix, c.nth, 0};
    uio_set_trace(fail_nth_sync);
    EXPECT_EQ(insert(id), FM_ST_SYS) << c.suffix << " " << c.nth;
    uio_set_trace(nullptr);
    EXPECT_EQ(g_inject.seen >= c.nth, true) << c.suffix << " " << c.nth;
    EXPECT_EQ(present(id), c.stands) << c.suffix << " " << c.nth;
    EXPECT_EQ(brf_counts(f).live, 3u + (c.stands ? 1 : 0)) << c.suffix << " " << c.nth;
    if (c.stands) {
      EXPECT_EQ(insert(++id), 0u) << brf_error();
    }
    ++id;
  }
  EXPECT_EQ(insert(id), 0u) << brf_error();
  EXPECT_TRUE(present(id));
  close_file();
  EXPECT_TRUE(sound());

  // The rebuild: each of its last flushes failing is reported.
  g_file = nullptr;
  static int syncs;
  syncs = 0;
  uio_set_trace([](UioStep step, int, const char*, const char*) {
    if (step == UioStep::Sync || step == UioStep::SyncDir) ++syncs;
    return 0;
  });
  std::vector<std::string> log;
  ASSERT_EQ(brfanal_rebuild(path, &log), 0u) << brf_error();
  int total = syncs;
  ASSERT_GE(total, 3);
  static int fail_at;
  for (fail_at = total; fail_at > total - 3; --fail_at) {
    syncs = 0;
    uio_set_trace([](UioStep step, int, const char*, const char*) {
      if (step != UioStep::Sync && step != UioStep::SyncDir) return 0;
      return ++syncs == fail_at ? EIO : 0;
    });
    EXPECT_NE(brfanal_rebuild(path, &log), 0u) << "flush " << fail_at << " of " << total;
  }
  uio_set_trace(nullptr);
  ASSERT_EQ(brfanal_rebuild(path, &log), 0u) << brf_error();
  EXPECT_TRUE(sound());
}

// ------------------------------------------------------- order of steps --
struct Step {
  UioStep step;
  std::string what;  // the file's suffix ("" data, ".ix", ".jn") or the path
  uint64_t counter;  // the change counter when it came
};
std::vector<Step> g_steps;

int record_step(UioStep step, int fd, const char* p, const char* to) {
  std::string what;
  if (step == UioStep::Sync) {
    what = suffix_of(fd);
  } else {
    what = std::string(p ? p : "") + (to ? std::string(" -> ") + to : "");
  }
  g_steps.push_back({step, what, g_file ? bt_counter(g_file->st) : 0});
  return 0;
}

size_t find_step(size_t from, UioStep step, const std::string& what, int odd) {
  for (size_t i = from; i < g_steps.size(); ++i)
    if (g_steps[i].step == step && g_steps[i].what == what && (odd < 0 || int(g_steps[i].counter & 1) == odd)) return i;
  return std::string::npos;
}

// In sync mode: the journal, data and index reach the disk before the
// change counter completes, the counter after; the directory after a
// create and after a rename.
TEST_F(BrfSafety, SyncModeFlushesInOrder) {
  uio_set_sync_mode(1);
  g_path = path;
  g_steps.clear();
  g_file = nullptr;
  uio_set_trace(record_step);
  make(0);
  uio_set_trace(nullptr);
  size_t last_move = 0;
  bool moved = false;
  for (size_t i = 0; i < g_steps.size(); ++i)
    if (g_steps[i].step == UioStep::Rename || g_steps[i].step == UioStep::Link) {
      last_move = i;
      moved = true;
    }
  ASSERT_TRUE(moved);
  size_t dir_sync = std::string::npos;
  for (size_t i = last_move; i < g_steps.size(); ++i)
    if (g_steps[i].step == UioStep::SyncDir) dir_sync = i;
  EXPECT_NE(dir_sync, std::string::npos) << "no directory flush after the create's renames";

  for (int round = 0; round < 3; ++round) {
    g_steps.clear();
    g_file = f;
    uio_set_trace(record_step);
    ASSERT_EQ(insert(uint32_t(round)), 0u) << brf_error();
    uio_set_trace(nullptr);
    size_t data = find_step(0, UioStep::Sync, "", 1);
    size_t index = data == std::string::npos ? data : find_step(data, UioStep::Sync, ".ix", 1);
    size_t done = index == std::string::npos ? index : find_step(index, UioStep::Sync, ".ix", 0);
    ASSERT_NE(data, std::string::npos) << "no data flush before the counter completes";
    ASSERT_NE(index, std::string::npos) << "no index flush before the counter completes";
    ASSERT_NE(done, std::string::npos) << "no flush of the completed counter";
    size_t journal = find_step(0, UioStep::Sync, ".jn", 1);
    ASSERT_NE(journal, std::string::npos) << "no journal flush";
    for (size_t i = 0; i < g_steps.size(); ++i)
      if (g_steps[i].what == ".jn") {
        EXPECT_LT(i, data) << "a journal flush after the data flush";
      }
    // Nothing is flushed with the counter even before the last step.
    for (size_t i = 0; i < done; ++i)
      if (g_steps[i].step == UioStep::Sync && g_steps[i].what != ".ix") {
        EXPECT_EQ(g_steps[i].counter & 1, 1u);
      }
  }

  close_file();
  g_steps.clear();
  g_file = nullptr;
  uio_set_trace(record_step);
  ASSERT_EQ(brf_rename(path, dir.file("G")), 0u) << brf_error();
  uio_set_trace(nullptr);
  size_t renames = 0, after = std::string::npos;
  for (size_t i = 0; i < g_steps.size(); ++i) {
    if (g_steps[i].step == UioStep::Rename) {
      ++renames;
      after = std::string::npos;
    }
    if (g_steps[i].step == UioStep::SyncDir && renames == 3) after = i;
  }
  EXPECT_EQ(renames, 3u);
  EXPECT_NE(after, std::string::npos) << "no directory flush after the rename";
}

// ------------------------------------------------------ locks released --
// A change refused for a damaged index header releases the change lock: a
// forked process takes it at once.
TEST_F(BrfSafety, ADamagedHeaderLeavesNoLockBehind) {
  make(5);
  EXPECT_TRUE(change_lock_free(f));
  // Damage through the mapping: a descriptor opened and closed here would
  // drop this process's locks on the file and hide the fault.
  uint8_t* byte = f->st.imap + offsetof(BtHdr, trees) + 3;
  *byte ^= 0x5A;
  EXPECT_EQ(insert(50), FM_ST_SYS);
  EXPECT_TRUE(change_lock_free(f));
  EXPECT_TRUE(change_lock_free(f));
  *byte ^= 0x5A;
  EXPECT_EQ(insert(51), 0u) << brf_error();

  // A rollback of a dead changer's change that fails (its flush fails).
  uio_set_sync_mode(1);
  g_path = path;
  g_file = f;
  std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(f->st.imap)).fetch_add(1);
  g_inject = Injection{"", 1, 0};
  uio_set_trace(fail_nth_sync);
  EXPECT_EQ(insert(52), FM_ST_SYS);
  uio_set_trace(nullptr);
  EXPECT_EQ(g_inject.seen, 1);
  EXPECT_TRUE(change_lock_free(f));
  EXPECT_EQ(insert(53), 0u) << brf_error();
  EXPECT_EQ(bt_counter(f->st) & 1, 0u);
  EXPECT_EQ(brf_counts(f).live, 7u);
}

// A store to a page without access: a memory fault as the kernel raises it.
void fault_in_recovery(BtStore&) {
  static void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

// A memory fault inside file code unwinds with code 37 and leaves no lock;
// the interrupted rollback is made by the next change.
TEST_F(BrfSafety, AFaultWhileLockedLeavesNoLockBehind) {
  make(5);
  ss_reset_sig_handler();
  // A dead changer's odd counter, and a rollback that faults.
  std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(f->st.imap)).fetch_add(1);
  auto keep = f->st.after_recover;
  f->st.after_recover = fault_in_recovery;
  int code = mark(0, [&] { static_cast<void>(insert(60)); });
  ss_reset_sig_handler();
  f->st.after_recover = keep;
  EXPECT_EQ(code, int(CompletionCode::Signal));
  EXPECT_EQ(f->st.ilock, 0);
  EXPECT_TRUE(change_lock_free(f));
  EXPECT_EQ(insert(61), 0u) << brf_error();
  EXPECT_EQ(bt_counter(f->st) & 1, 0u);
  EXPECT_EQ(brf_counts(f).live, 6u);
  close_file();
  EXPECT_TRUE(sound());
}

// The file utilities run with the engine's fault handling: a fault signal
// while quvo -fv waits for a lock ends it with status 37 and a message, not
// with the signal.
TEST_F(BrfSafety, TheFileUtilitiesHandleFaultsAsTheEngineDoes) {
  make(2);
  close_file();
  ChangeLockHolder writer(path);
  ASSERT_GT(writer.pid, 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execl(QUVO_BINARY, QUVO_BINARY, "-fv", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Signalled only once it waits: at its start the signal would still end
  // it as the system does.
  EXPECT_TRUE(waits_for_change_lock(path, pid)) << "quvo -fv did not wait for the change lock";
  int st = 0;
  ASSERT_EQ(::waitpid(pid, &st, WNOHANG), 0) << "quvo -fv ended without the change lock";
  ::kill(pid, SIGSEGV);
  ::waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st)) << "ended by signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
  EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 37);
}

// ------------------------------------------------------------ lock waits --
// A read lock that another process holds on the index's first byte (as any
// reader of the file could take) stops no writer.
TEST_F(BrfSafety, AReadLockOnTheFirstByteStopsNoWriter) {
  make(2);
  LockHolder reader(brf_index_path(path), 0, F_RDLCK);
  ASSERT_GT(reader.pid, 0);
  // Were the writer to wait, the wait is given up after three seconds.
  static auto deadline = std::chrono::steady_clock::now();
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  uio_set_cancel_check([] { return std::chrono::steady_clock::now() > deadline; });
  EXPECT_EQ(insert(10), 0u) << brf_error();
  EXPECT_TRUE(present(10));
}

// A wait for the change lock ends when the user cancels it: through the
// window manager's check, or with ^C when no screen is up.
TEST_F(BrfSafety, ALockWaitEndsWhenCancelled) {
  make(2);
  ChangeLockHolder writer(path);
  ASSERT_GT(writer.pid, 0);
  static auto at = std::chrono::steady_clock::now();
  at = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  uio_set_cancel_check([] { return std::chrono::steady_clock::now() > at; });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(insert(10), FM_ST_SYS);
  EXPECT_NE(brf_error().find(std::strerror(ECANCELED)), std::string::npos) << brf_error();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  uio_set_cancel_check(nullptr);

  // ^C: an interrupt sent to the waiting thread.
  pthread_t self = ::pthread_self();
  std::thread ctrl_c([self] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::pthread_kill(self, SIGINT);
  });
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(insert(11), FM_ST_SYS);
  ctrl_c.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  struct sigaction now;
  ::sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);  // given back after the wait
  EXPECT_FALSE(present(10));
  EXPECT_FALSE(present(11));

  // A wait for a record held by another process: 200660, nothing held.
  uint8_t rec[kLen], key[kBtMaxKey];
  brf_make_rec(rec, kLen, 0, 0);
  brf_key_of(f, 0, rec, kLen, 0, key);
  BrfReader rd(kLen);
  ASSERT_EQ(rd.seek(f, 0, key, 20), 0u);
  BrfRead& r = rd.r;
  RecordHolder holder(path, r.rid);
  ASSERT_GT(holder.pid, 0);
  at = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  uio_set_cancel_check([] { return std::chrono::steady_clock::now() > at; });
  int owner = 0;
  EXPECT_EQ(brf_hold(f, &owner, r.rid, kUioWaitForever), FM_ST_LOCK_TIMEOUT);
  EXPECT_TRUE(f->holds.empty());
}

// A record hold is seen by other processes and ends with its holder. The
// hold table in the index file is untrusted: words that name no live holder
// (garbage, an impossible or dead process, one without a live mark, this
// process's own id for records it does not hold) hold nothing, even when
// they fill the table.
TEST_F(BrfSafety, TheHoldsOfTheDeadAreFree) {
  make(40);
  std::vector<uint32_t> rids;
  for (uint32_t i = 0; i < 40; ++i) rids.push_back(rid_of(i));
  int owner = 0;
  {
    RecordHolder other(path, rids[0]);
    ASSERT_GT(other.pid, 0);
    EXPECT_EQ(bt_holder(f->st, rids[0]), other.pid);
    EXPECT_EQ(brf_hold(f, &owner, rids[0], kUioNoWait), FM_ST_LOCKED);
  }  // killed holding it
  EXPECT_EQ(bt_holder(f->st, rids[0]), 0);
  auto* words = reinterpret_cast<uint64_t*>(f->st.imap + offsetof(BtHdr, holds));
  size_t n = sizeof(BtHdr::holds) / 8;
  std::mt19937_64 rng(7);
  uint64_t self = uint64_t(::getpid());
  for (uint64_t forged : {uint64_t(0), uint64_t(0xFFFFFFFFu), self, uint64_t(1), uint64_t(2)}) {
    for (size_t i = 0; i < n; ++i) {
      uint64_t id = rids[i % rids.size()];
      words[i] = forged == 2 ? rng() : forged << 32 | id;  // 0xFFFFFFFF: waited for, no such process
    }
    for (uint32_t rid : rids) EXPECT_EQ(brf_hold(f, &owner, rid, kUioNoWait), 0u) << forged << " " << brf_error();
    for (uint32_t rid : rids) EXPECT_EQ(bt_holder(f->st, rid), 0) << forged;  // this process's own
    for (uint32_t rid : rids) brf_unhold(f, &owner, rid);
  }
  RecordHolder again(path, rids[0]);  // and the others see the table sound again
  EXPECT_GT(again.pid, 0);
}

// Two processes that each hold a record and wait for the other's: the
// circle is seen and one of the two waits is refused, the other goes on.
TEST_F(BrfSafety, AWaitThatWouldDeadlockIsRefused) {
  make(2);
  uint32_t a = rid_of(0), b = rid_of(1);
  int owner = 0;
  ASSERT_EQ(brf_hold(f, &owner, a, kUioNoWait), 0u);
  static auto deadline = std::chrono::steady_clock::now();
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  uio_set_cancel_check([] { return std::chrono::steady_clock::now() > deadline; });
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    BrfFile* g = nullptr;
    int mine = 0;
    if (brf_open(path, false, &g) != 0 || brf_hold(g, &mine, b, kUioNoWait) != 0) _exit(3);
    char c = 'y';
    if (::write(ready[1], &c, 1) != 1) _exit(3);
    uint32_t st = brf_hold(g, &mine, a, kUioWaitForever);
    if (st == 0) _exit(0);
    _exit(st == FM_ST_LOCKED && brf_error().find("would deadlock") != std::string::npos ? 1 : 2);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the child waits
  uint32_t st = brf_hold(f, &owner, b, kUioWaitForever);
  if (st != 0) {
    EXPECT_EQ(st, FM_ST_LOCKED);
    EXPECT_NE(brf_error().find("record " + std::to_string(b) + " of " + path + ": waiting for it would deadlock"),
              std::string::npos)
        << brf_error();
    brf_unhold(f, &owner, a);
  }
  int ws = 0;
  ASSERT_EQ(::waitpid(pid, &ws, 0), pid);
  EXPECT_TRUE(WIFEXITED(ws));
  EXPECT_EQ(WEXITSTATUS(ws), st == 0 ? 1 : 0);
  EXPECT_LT(std::chrono::steady_clock::now(), deadline);
}

// The change lock of a process that died is taken over at once, and so is a
// lock word that names no live holder, whatever it holds (the data directory
// is untrusted); a live holder is waited for, and the change made after it
// lets go. A process that may only read waits too, and holds nothing.
TEST_F(BrfSafety, TheChangeLockOfTheDeadIsTakenOver) {
  make(2);
  auto words = [&] { return reinterpret_cast<uint32_t*>(f->st.imap + offsetof(BtHdr, lock_owner)); };
  {
    ChangeLockHolder dead(path);
    ASSERT_GT(dead.pid, 0);
    EXPECT_EQ(words()[0], uint32_t(dead.pid));
  }  // killed holding it
  EXPECT_EQ(insert(20), 0u) << brf_error();
  uint32_t forged[][2] = {{1, 0}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {uint32_t(::getpid()), 7}, {0x7FFFFFFFu, 1}};
  uint32_t id = 21;
  for (auto& w : forged) {
    words()[0] = w[0];
    words()[1] = w[1];
    EXPECT_EQ(insert(id), 0u) << w[0] << " " << brf_error();
    EXPECT_TRUE(present(id++));
    EXPECT_EQ(words()[0], 0u);
  }

  // A live holder: the change waits for it, and says every interval who
  // holds the lock.
  auto* holder = new ChangeLockHolder(path);
  ASSERT_GT(holder->pid, 0);
  std::string who = "process " + std::to_string(holder->pid) + ")";
  static std::vector<std::string> reports;
  reports.clear();
  uio_set_report([](const char* text) { reports.push_back(text); });
  uio_set_report_interval(1);
  std::thread release([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    delete holder;
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(insert(30), 0u) << brf_error();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1200));
  release.join();
  uio_set_report(nullptr);
  uio_set_report_interval(0);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].rfind("Waiting for the index of " + path + ", locked by user ", 0), 0u) << reports[0];
  EXPECT_NE(reports[0].find(who), std::string::npos) << reports[0];

  // A reader that may not write the file: its read waits for the holder's
  // change to end; the words stay as they are.
  close_file();
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(brf_index_path(path).c_str(), 0444), 0);
  if (::access(path.c_str(), W_OK) == 0) return;  // files are writable whatever their mode (root)
  ASSERT_EQ(brf_open(path, false, &f), 0u) << brf_error();
  ASSERT_FALSE(f->st.writable);
  EXPECT_TRUE(present(30));
}

// SIGTERM (or SIGHUP) while the engine waits for a lock ends the wait, so
// that the engine can end every process.
TEST_F(BrfSafety, ALockWaitEndsOnSigterm) {
  make(2);
  ChangeLockHolder writer(path);
  ASSERT_GT(writer.pid, 0);
  ss_catch_stop_signals();
  pthread_t self = ::pthread_self();
  std::thread term([self] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::pthread_kill(self, SIGTERM);
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(insert(12), FM_ST_SYS);
  term.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(ss_stop_signal(), SIGTERM);
  ss_stop_clear();
  ss_release_stop_signals();
  EXPECT_FALSE(present(12));
}

// ------------------------------------------------- names never followed --
// Symbolic links planted under every name the engine creates leave their
// targets untouched, and never become the file's index or journal.
TEST_F(BrfSafety, PlantedLinksAreNeverFollowed) {
  BrfTempDir home;
  std::string victim = home.file("precious");
  spit(victim, "precious");
  std::string pid = std::to_string(::getpid());
  for (const std::string& n : {path + ".cr" + pid, path + ".ix.cr" + pid, path + ".jn.cr" + pid})
    ASSERT_EQ(::symlink(victim.c_str(), n.c_str()), 0);
  make(4);
  EXPECT_EQ(slurp(victim), "precious");
  for (const std::string& n : {path, brf_index_path(path), brf_journal_path(path)}) EXPECT_TRUE(is_regular(n)) << n;
  close_file();

  // The rebuild's temporary names.
  for (const std::string& n : {brf_index_path(path) + ".rb", brf_journal_path(path) + ".rb"})
    ASSERT_EQ(::symlink(victim.c_str(), n.c_str()), 0);
  std::vector<std::string> log;
  EXPECT_EQ(brfanal_rebuild(path, &log), 0u) << brf_error();
  EXPECT_EQ(slurp(victim), "precious");
  EXPECT_TRUE(is_regular(brf_index_path(path)));
  EXPECT_TRUE(sound());

  // The index and journal made again for an empty file.
  std::string g = dir.file("G");
  BrfFile* e;
  ASSERT_EQ(brf_create(g, brf_test_layout(kLen), true, &e), 0u) << brf_error();
  brf_close(e, true);
  ASSERT_EQ(::unlink(brf_index_path(g).c_str()), 0);
  ASSERT_EQ(::unlink(brf_journal_path(g).c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), brf_journal_path(g).c_str()), 0);
  ASSERT_EQ(brf_open(g, true, &e), 0u) << brf_error();
  brf_close(e, true);
  EXPECT_EQ(slurp(victim), "precious");
  EXPECT_TRUE(is_regular(brf_journal_path(g)));

  // An existing index or data file that is a link (even to a sound copy),
  // or a pipe, is refused.
  std::string copy = home.file("index");
  spit(copy, slurp(brf_index_path(path)));
  ASSERT_EQ(::rename(brf_index_path(path).c_str(), (path + ".kept").c_str()), 0);
  ASSERT_EQ(::symlink(copy.c_str(), brf_index_path(path).c_str()), 0);
  EXPECT_NE(brf_open(path, false, &f), 0u);
  f = nullptr;
  ASSERT_EQ(::unlink(brf_index_path(path).c_str()), 0);
  ASSERT_EQ(::mkfifo(brf_index_path(path).c_str(), 0600), 0);
  EXPECT_NE(brf_open(path, false, &f), 0u);  // and no hang on the pipe
  f = nullptr;
  ASSERT_EQ(::unlink(brf_index_path(path).c_str()), 0);
  ASSERT_EQ(::rename((path + ".kept").c_str(), brf_index_path(path).c_str()), 0);
  std::string h = dir.file("H");
  ASSERT_EQ(::symlink(path.c_str(), h.c_str()), 0);
  BrfFile* via;
  EXPECT_NE(brf_open(h, false, &via), 0u);
  // A file that is not a native data file is not scratched.
  spit(dir.file("NOTOURS"), "somebody's notes");
  EXPECT_NE(brf_scratch(dir.file("NOTOURS")), 0u);
  EXPECT_EQ(slurp(dir.file("NOTOURS")), "somebody's notes");
}

// Another member of the group plants a link to a private file of the user
// who then rebuilds the file: the private file is untouched.
TEST_F(BrfSafety, AnotherUsersRebuildFollowsNoPlantedLink) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users (setpriv)";
  if (::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv is not installed";
  const gid_t group = 43210;
  const uid_t member = 43211, victim_user = 43212;
  ASSERT_EQ(::chown(dir.path.c_str(), 0, group), 0);
  ASSERT_EQ(::chmod(dir.path.c_str(), 02770), 0);
  make(3);
  close_file();
  BrfTempDir home;
  ASSERT_EQ(::chown(home.path.c_str(), victim_user, victim_user), 0);
  ASSERT_EQ(::chmod(home.path.c_str(), 0700), 0);
  std::string secret = home.file("id_key");
  spit(secret, "private key");
  ASSERT_EQ(::chown(secret.c_str(), victim_user, victim_user), 0);
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  std::string planted = brf_index_path(path) + ".rb";
  std::string cmd = "setpriv --reuid=" + std::to_string(member) + " --regid=" + std::to_string(group) +
                    " --clear-groups ln -s '" + secret + "' '" + planted + "'";
  ASSERT_EQ(::system(cmd.c_str()), 0);
  cmd = "setpriv --reuid=" + std::to_string(victim_user) + " --regid=" + std::to_string(victim_user) +
        " --groups=" + std::to_string(group) + " env QUVO_FILE_SYNC=0 '" QUVO_BINARY "' -fr '" + path + "' >/dev/null 2>&1";
  int rc = ::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << rc;
  EXPECT_EQ(slurp(secret), "private key");
  EXPECT_TRUE(is_regular(brf_index_path(path)));
}

// ------------------------------------------------------------------ modes --
// Data, index and journal files are 0660 and directories 3770 with the data
// directory's group, whatever the umask.
TEST_F(BrfSafety, ModesDoNotDependOnTheUmask) {
  gid_t group = ::getegid();
  if (::geteuid() == 0) {
    group = 43210;
    ASSERT_EQ(::chown(dir.path.c_str(), 0, group), 0);
  }
  mode_t old = ::umask(0);
  make(1);
  std::string sub = dir.file("a/b");
  std::string deep = sub + "/F";
  ::umask(0);
  ASSERT_EQ(uio_mkdir(dir.file("a").c_str()), 0);
  ASSERT_EQ(uio_mkdir(sub.c_str()), 0);
  BrfFile* d;
  ASSERT_EQ(brf_create(deep, brf_test_layout(kLen), false, &d), 0u) << brf_error();
  brf_close(d, false);
  ::umask(old);
  for (const std::string& n : {path, brf_index_path(path), brf_journal_path(path), deep, brf_index_path(deep)}) {
    struct stat st;
    ASSERT_EQ(::stat(n.c_str(), &st), 0) << n;
    EXPECT_EQ(st.st_mode & 07777, 0660u) << n;
    EXPECT_EQ(st.st_gid, group) << n;
  }
  for (const std::string& n : {dir.file("a"), sub}) {
    struct stat st;
    ASSERT_EQ(::stat(n.c_str(), &st), 0) << n;
    EXPECT_EQ(st.st_mode & 07777, 03770u) << n;
    EXPECT_EQ(st.st_gid, group) << n;
  }
}

// ------------------------------------------------------------ key lengths --
// A key length changed in the shared header under a reader sizes no copy:
// the reader goes on with the lengths checked when it attached; a new open
// refuses the header.
TEST_F(BrfSafety, AKeyLengthChangedUnderAReaderSizesNoCopy) {
  make(300);
  BtTreeHdr& th = bt_hdr(f->st).trees[0];
  uint16_t keep = th.key_len.get();
  th.key_len = 4000;
  int n = 0;
  EXPECT_EQ(BrfReader(kLen).scan(f, 0, [&](const BtCursor&) { return ++n < 1000; }), FM_ST_EOF);
  EXPECT_EQ(n, 300);
  BrfFile* other;
  std::string h = dir.file("copy");
  EXPECT_TRUE(std::system(("cp '" + path + "' '" + h + "' && cp '" + brf_index_path(path) + "' '" +
                           brf_index_path(h) + "' && cp '" + brf_journal_path(path) + "' '" +
                           brf_journal_path(h) + "'").c_str()) == 0);
  EXPECT_NE(brf_open(h, false, &other), 0u);
  th.key_len = keep;
}

}  // namespace
