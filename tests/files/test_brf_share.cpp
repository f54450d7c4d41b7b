// Native files shared by engine processes through the record interface:
// exclusive opens, record holds across processes, the lock wait with its
// report and its limit, and eight processes updating the same records.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "files/brf.h"
#include "files/brf_support.h"
#include "files/fm.h"
#include "files/fmkept.h"
#include "files/unixio.h"
#include "files/fm_check.h"
#include "foundation/bi.h"
#include "foundation/la.h"

namespace {

// Records of 64 bytes: a 10-byte code (key 0), a u32 counter at 10.
constexpr int kLen = 64;

struct ShareTest : ::testing::Test {
  BrfTempDir dir;
  MmPool pool = 0;
  void SetUp() override {
    setenv("QUVOPATH", dir.path.c_str(), 1);
    fms_init();
    pool = mm_create_pool(" BRFSHARE  ", 0, 0);
  }
  void TearDown() override {
    fm_shutdown();
    mm_destroy_pool(pool);
    uio_set_report(nullptr);
    uio_set_report_interval(0);
  }
  uint8_t* alloc(size_t n) { return static_cast<uint8_t*>(MM_ALLOC(pool, n)); }
  FmFdb describe() {
    auto* kdb = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb)));
    auto* sdb = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb)));
    init_sdb_func(sdb, 1, 0, 10, FM_SEG_ALPHA, '+');
    INIT_KDB(kdb, 0, '+', 8, sdb, 1);
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, kLen, var, kdb, 1);
    INIT_DB_PATH(&f, "TST", "TAP", "01", "SHARED", FM_PT_DATA);
    return f;
  }
  FmArb* open(int share = 15) {
    FmFdb f = describe();
    if (!FM_OPEN(&f, com.depth, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, share)) {
      last_status = f.status;
      return nullptr;
    }
    return f.handle.get();
  }
  uint32_t last_status = 0;
  int var = 0;  // variable-length records
  void make(int records) {
    FmFdb f = describe();
    ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) << f.status;
    FmArb* a = f.handle.get();
    for (int i = 0; i < records; ++i) ASSERT_TRUE(put(a, "R" + std::to_string(i), 0)) << a->status;
    ASSERT_TRUE(FM_CLOSE(a, 0));
  }
  // Writes the record of a code with the counter n (len bytes of a
  // variable-length file).
  int put(FmArb* a, const std::string& code, uint32_t n, uint16_t len = 0) {
    uint8_t* r = alloc(kLen);
    std::memset(r, ' ', kLen);
    std::memcpy(r, code.data(), code.size());
    rec::view<rec::U32>(r + 10).set(n);
    a->rec.set(r);
    a->rec_len = len;
    a->op = 0;
    return fm_write(a);
  }
  // Reads record i with the given operation bits into buf.
  int read(FmArb* a, int i, uint8_t* buf, uint16_t op) {
    std::memset(buf, ' ', kLen);
    std::string code = "R" + std::to_string(i);
    std::memcpy(buf, code.data(), code.size());
    PROTO_FULL(a, 0, buf);
    a->op = uint16_t(op | FM_OP_EQUAL);
    return fm_read(a);
  }
};

// A child that holds record 0 for ms milliseconds; returns its pid once the
// hold is taken.
pid_t holder(ShareTest& t, int ms) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    FmArb* a = t.open();
    uint8_t* buf = t.alloc(kLen);
    if (!a || !t.read(a, 0, buf, FM_OP_HOLD)) _exit(2);
    char c = 'h';
    if (write(fds[1], &c, 1) != 1) _exit(3);
    usleep(useconds_t(ms) * 1000);
    _exit(0);  // the hold goes with the process
  }
  close(fds[1]);
  char c;
  EXPECT_EQ(::read(fds[0], &c, 1), 1);
  close(fds[0]);
  return pid;
}

int exit_code(pid_t pid) {
  int ws;
  waitpid(pid, &ws, 0);
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : 100 + WTERMSIG(ws);
}

std::vector<std::string> g_reports;

}  // namespace

TEST_F(ShareTest, ExclusiveOpenAndHoldsAcrossProcesses) {
  make(3);
  FmArb* ex = open(1);
  ASSERT_NE(ex, nullptr) << last_status;
  pid_t pid = fork();
  if (pid == 0) _exit(open() == nullptr && last_status == FM_ST_BUSY ? 0 : 1);
  EXPECT_EQ(exit_code(pid), 0);
  EXPECT_EQ(open(), nullptr);  // this process too
  EXPECT_EQ(last_status, FM_ST_BUSY);
  ASSERT_TRUE(FM_CLOSE(ex, 0));

  pid = holder(*this, 1600);
  FmArb* a = open();
  ASSERT_NE(a, nullptr);
  uint8_t* buf = alloc(kLen);
  // Held by another process: 200530, and the record is in the buffer.
  std::memset(buf + 10, 0xEE, 4);
  EXPECT_TRUE(fails_with(read(a, 0, buf, FM_OP_HOLD), a, FM_ST_LOCKED));
  EXPECT_EQ(rec::view<rec::U32>(buf + 10).get(), 0u);
  EXPECT_TRUE(fails_with(fm_rewrite(a), a, FM_ST_NOT_HELD));
  // Other records are free; reading without a hold is never refused.
  EXPECT_TRUE(read(a, 1, buf, FM_OP_HOLD));
  EXPECT_TRUE(read(a, 0, buf, 0));
  // A wait with a limit gives up with 200660.
  a->lock_wait = 1;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(fails_with(read(a, 0, buf, FM_OP_HOLD | FM_OP_WAIT), a, FM_ST_LOCK_TIMEOUT));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
  EXPECT_EQ(exit_code(pid), 0);
  // Once the holder is gone, the record can be held.
  EXPECT_TRUE(read(a, 0, buf, FM_OP_HOLD)) << a->status;
}

// A handle kept for reading lets another process scratch its file (it goes
// on reading the file it opened, no longer fresh) but not hold the file
// alone, and changes nothing itself; a shared user of this process still
// holds the file open.
TEST_F(ShareTest, AKeptHandleLetsAnotherProcessScratchItsFile) {
  make(3);
  FmArb* ex = open(1);
  ASSERT_NE(ex, nullptr);
  EXPECT_TRUE(fails_with(fm_keep(ex), ex, FM_ST_SYS));
  ASSERT_TRUE(FM_CLOSE(ex, 0));
  FmArb* k = open();
  ASSERT_NE(k, nullptr);
  ASSERT_TRUE(fm_keep(k));
  EXPECT_TRUE(fm_keep(k));
  FmKept kept;
  ASSERT_TRUE(fm_kept_take(&kept, k));
  EXPECT_TRUE(fm_kept_fresh(&kept));
  uint8_t* buf = alloc(kLen);
  EXPECT_TRUE(fails_with(put(k, "R9", 9), k, FM_ST_SYS));
  ASSERT_TRUE(read(k, 1, buf, FM_OP_HOLD));
  EXPECT_TRUE(fails_with(fm_rewrite(k), k, FM_ST_SYS));
  EXPECT_TRUE(fails_with(fm_del_all(k), k, FM_ST_SYS));
  // What another process may do: 0 refused as expected, 1 not.
  auto other = [&](bool scratch_ok) {
    pid_t pid = fork();
    if (pid == 0) {
      bool excl_refused = open(1) == nullptr && last_status == FM_ST_BUSY;
      FmFdb f = describe();
      int sc = FM_SCRATCH(&f, 0);
      _exit(excl_refused && (scratch_ok ? sc == 1 : !sc && f.status == FM_ST_SCRATCH_OPEN) ? 0 : 1);
    }
    return exit_code(pid);
  };
  FmArb* s = open();
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(put(s, "R9", 9)) << s->status;
  EXPECT_EQ(other(false), 0);
  ASSERT_TRUE(FM_CLOSE(s, 0));
  EXPECT_EQ(other(true), 0);
  EXPECT_TRUE(read(k, 9, buf, 0));
  EXPECT_EQ(rec::view<rec::U32>(buf + 10).get(), 9u);
  fm_kept_new_round();
  EXPECT_FALSE(fm_kept_fresh(&kept)) << "its name names no file now";
  ASSERT_TRUE(FM_CLOSE(k, 0));
  EXPECT_FALSE(fm_kept_open(kept));
  EXPECT_EQ(open(), nullptr);
  EXPECT_EQ(last_status, FM_ST_NOT_FOUND);
}

TEST_F(ShareTest, ALongWaitSaysWhoHoldsTheLockAndKeepsWaiting) {
  make(1);
  g_reports.clear();
  uio_set_report([](const char* text) { g_reports.push_back(text); });
  uio_set_report_interval(1);
  pid_t pid = holder(*this, 2500);
  FmArb* a = open();
  ASSERT_NE(a, nullptr);
  uint8_t* buf = alloc(kLen);
  a->lock_wait = -1;
  ASSERT_TRUE(read(a, 0, buf, FM_OP_HOLD | FM_OP_WAIT)) << a->status;
  EXPECT_EQ(exit_code(pid), 0);
  ASSERT_GE(g_reports.size(), 1u);
  const std::string& r = g_reports.front();
  EXPECT_NE(r.find("Waiting for record"), std::string::npos) << r;
  EXPECT_NE(r.find("(process " + std::to_string(pid) + ")"), std::string::npos) << r;
  EXPECT_NE(r.find("user "), std::string::npos) << r;
}

// Eight processes each run 2,000 cycles of read-with-hold, increment and
// rewrite over ten shared records: no update is lost and nobody deadlocks.
TEST_F(ShareTest, EightProcessesIncrementWithoutLostUpdates) {
  constexpr int kProcs = 8, kCycles = 2000, kRecs = 10;
  make(kRecs);
  std::vector<pid_t> pids;
  std::vector<int> pipes;
  for (int p = 0; p < kProcs; ++p) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      FmArb* a = open();
      if (!a) _exit(2);
      uint8_t* buf = alloc(kLen);
      std::mt19937 rng(uint32_t(p) * 7919u);
      uint32_t counts[kRecs] = {};
      for (int c = 0; c < kCycles; ++c) {
        int i = int(rng() % kRecs);
        if (!read(a, i, buf, FM_OP_HOLD | FM_OP_WAIT)) _exit(3);
        rec::view<rec::U32>(buf + 10).set(rec::view<rec::U32>(buf + 10).get() + 1);
        a->op = 0;
        if (!fm_rewrite(a)) _exit(4);
        ++counts[i];
      }
      if (write(fds[1], counts, sizeof counts) != ssize_t(sizeof counts)) _exit(5);
      _exit(0);
    }
    close(fds[1]);
    pids.push_back(pid);
    pipes.push_back(fds[0]);
  }
  // A deadlock would show as a child that does not end: give them a minute.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  uint32_t want[kRecs] = {};
  for (int p = 0; p < kProcs; ++p) {
    uint32_t counts[kRecs];
    ssize_t n = 0;
    while (n < ssize_t(sizeof counts) && std::chrono::steady_clock::now() < deadline) {
      ssize_t r = ::read(pipes[size_t(p)], reinterpret_cast<char*>(counts) + n, sizeof counts - size_t(n));
      if (r <= 0) break;
      n += r;
    }
    close(pipes[size_t(p)]);
    if (n != ssize_t(sizeof counts)) {
      for (pid_t k : pids) kill(k, SIGKILL);
      for (pid_t k : pids) waitpid(k, nullptr, 0);
      FAIL() << "process " << p << " did not finish";
    }
    for (int i = 0; i < kRecs; ++i) want[i] += counts[i];
  }
  for (pid_t pid : pids) EXPECT_EQ(exit_code(pid), 0);
  FmArb* a = open();
  ASSERT_NE(a, nullptr);
  uint8_t* buf = alloc(kLen);
  uint32_t total = 0;
  for (int i = 0; i < kRecs; ++i) {
    ASSERT_TRUE(read(a, i, buf, 0));
    EXPECT_EQ(rec::view<rec::U32>(buf + 10).get(), want[i]) << "record " << i;
    total += rec::view<rec::U32>(buf + 10).get();
  }
  EXPECT_EQ(total, uint32_t(kProcs * kCycles));
}

// A record held by one process and then removed by another's delete-all:
// the holder's rewrite finds its record gone, and leaves alone the new record
// that took its place.
TEST_F(ShareTest, AHoldOutlivedByItsRecordChangesNothing) {
  make(1);
  int go[2], done[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  if (pid == 0) {
    FmArb* a = open();
    uint8_t* buf = alloc(kLen);
    if (!a || !read(a, 0, buf, FM_OP_HOLD)) _exit(2);
    char c = 'h';
    if (write(done[1], &c, 1) != 1 || ::read(go[0], &c, 1) != 1) _exit(3);
    rec::view<rec::U32>(buf + 10).set(77);
    a->op = 0;
    bool refused = !fm_rewrite(a) && a->status == FM_ST_NOT_HELD;
    _exit(refused ? 0 : 4);
  }
  char c;
  ASSERT_EQ(::read(done[0], &c, 1), 1);
  FmArb* a = open();
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(fm_del_all(a)) << a->status;
  ASSERT_TRUE(put(a, "NEW", 5));
  ASSERT_EQ(write(go[1], &c, 1), 1);
  EXPECT_EQ(exit_code(pid), 0);
  uint8_t* buf = alloc(kLen);
  std::memset(buf, ' ', kLen);
  std::memcpy(buf, "NEW", 3);
  PROTO_FULL(a, 0, buf);
  a->op = FM_OP_EQUAL;
  ASSERT_TRUE(fm_read(a));
  EXPECT_EQ(rec::view<rec::U32>(buf + 10).get(), 5u);
}

// Two processes see one file: a reader standing in the file sees the records
// that another process adds, moves and deletes before its next read, its
// own hold stays its own meanwhile, and the other process finds it held.
TEST_F(ShareTest, AReaderSeesAnotherProcessesChangesBetweenItsReads) {
  make(6);  // R0 .. R5
  FmArb* a = open();
  ASSERT_NE(a, nullptr);
  uint8_t* buf = alloc(kLen);
  ASSERT_TRUE(read(a, 4, buf, FM_OP_HOLD)) << a->status;
  ASSERT_TRUE(read(a, 1, buf, 0));  // stands on R1, still holding R4
  pid_t pid = fork();
  if (pid == 0) {
    FmArb* b = open();
    uint8_t* r = alloc(kLen);
    if (!b) _exit(2);
    // R4 is the other process's: refused, and still delivered.
    std::memset(r, 0, kLen);
    if (read(b, 4, r, FM_OP_HOLD) || b->status != FM_ST_LOCKED || std::memcmp(r, "R4", 2) != 0) _exit(3);
    if (!put(b, "R15", 0)) _exit(4);
    if (!read(b, 3, r, FM_OP_HOLD) || !fm_del(b)) _exit(5);
    if (!read(b, 2, r, FM_OP_HOLD)) _exit(6);
    std::memcpy(r, "R9", 2);
    rec::view<rec::U32>(r + 10).set(7);
    b->op = 0;
    if (!fm_rewrite(b)) _exit(7);
    _exit(0);
  }
  ASSERT_EQ(exit_code(pid), 0);
  std::vector<std::string> seen;
  a->op = 0;
  while (fm_rdnxt(a)) {
    std::string code(reinterpret_cast<char*>(buf), 3);
    seen.push_back(code + std::to_string(rec::view<rec::U32>(buf + 10).get()));
  }
  EXPECT_EQ(a->status, FM_ST_EOF);
  EXPECT_EQ(seen, (std::vector<std::string>{"R150", "R4 0", "R5 0", "R9 7"}));
  // The hold taken before all this is still good for a rewrite.
  ASSERT_TRUE(read(a, 4, buf, 0));
  rec::view<rec::U32>(buf + 10).set(44);
  a->op = 0;
  ASSERT_TRUE(fm_rewrite(a)) << a->status;
  pid = fork();
  if (pid == 0) {
    FmArb* b = open();
    uint8_t* r = alloc(kLen);
    _exit(b && read(b, 4, r, FM_OP_HOLD) && rec::view<rec::U32>(r + 10).get() == 44 ? 0 : 1);
  }
  EXPECT_EQ(exit_code(pid), 0);
}

// The hold of a deleted record ends with the delete: another process that
// takes the record's slot at once for its own new record holds that record
// (the hold used to be let go only after the change lock, and a process's
// hold read of the record it had just written was refused with 200530).
TEST(BrfHolds, AHoldEndsWithTheChangeThatDeletesItsRecord) {
  BrfTempDir d;
  std::string p = d.file("GONE");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_test_layout(), false, &f), 0u) << brf_error();
  std::vector<uint8_t> rec(200);
  brf_make_rec(rec.data(), rec.size(), 1, 0);
  uint32_t rid;
  ASSERT_EQ(brf_insert(f, rec.data(), 200, &rid), 0u);
  int owner = 0;
  ASSERT_EQ(brf_hold(f, &owner, rid, kUioNoWait), 0u);
  ASSERT_EQ(brf_remove(f, rid), 0u);
  // The deleting handle has not let go of its hold yet: another process
  // writes a record into the freed slot and holds it.
  pid_t pid = fork();
  if (pid == 0) {
    BrfFile* g;
    if (brf_open(p, false, &g)) _exit(2);
    brf_make_rec(rec.data(), rec.size(), 2, 0);
    uint32_t mine;
    if (brf_insert(g, rec.data(), 200, &mine) || mine != rid) _exit(3);
    _exit(brf_hold(g, &owner, mine, kUioNoWait) == 0 ? 0 : 4);
  }
  EXPECT_EQ(exit_code(pid), 0);
  brf_unhold(f, &owner, rid);  // nothing left to let go
  // A delete-all ends every hold of this process the same way.
  ASSERT_EQ(brf_remove_all(f), 0u);
  ASSERT_EQ(brf_insert(f, rec.data(), 200, &rid), 0u);
  ASSERT_EQ(brf_hold(f, &owner, rid, kUioNoWait), 0u);
  ASSERT_EQ(brf_remove_all(f), 0u);
  pid = fork();
  if (pid == 0) {
    BrfFile* g;
    uint32_t mine;
    if (brf_open(p, false, &g) || brf_insert(g, rec.data(), 200, &mine) || mine != rid) _exit(3);
    _exit(brf_hold(g, &owner, mine, kUioNoWait) == 0 ? 0 : 4);
  }
  EXPECT_EQ(exit_code(pid), 0);
  brf_close(f, false);
}

// Two processes each write, hold, grow (the record moves), hold again and
// delete records of their own, reusing each other's freed slots: no hold of
// a process's own record is ever refused.
TEST_F(ShareTest, TwoWritersHoldAndDeleteTheirOwnRecordsUnrefused) {
  var = 1;
  make(0);
  constexpr int kCycles = 1500;
  std::vector<pid_t> pids;
  for (int p = 0; p < 2; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      FmArb* a = open();
      if (!a) _exit(2);
      uint8_t* buf = alloc(kLen);
      for (int c = 0; c < kCycles; ++c) {
        std::string code = std::string(1, char('A' + p)) + std::to_string(c % 7);
        if (!put(a, code, uint32_t(c), 16)) _exit(3);
        auto hold = [&] {
          std::memset(buf, ' ', kLen);
          std::memcpy(buf, code.data(), code.size());
          PROTO_FULL(a, 0, buf);
          a->op = FM_OP_EQUAL | FM_OP_HOLD;
          return fm_read(a);
        };
        if (!hold()) _exit(10 + int(a->status == FM_ST_LOCKED));
        a->rec_len = kLen;  // grows: moves out of its slot
        a->op = 0;
        if (!fm_rewrite(a)) _exit(4);
        if (!hold()) _exit(20 + int(a->status == FM_ST_LOCKED));
        a->op = 0;
        if (!fm_del(a)) _exit(5);
      }
      _exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) EXPECT_EQ(exit_code(pid), 0) << "11 or 21: a hold of its own new record was refused";
  FmArb* a = open();
  ASSERT_NE(a, nullptr);
  uint8_t* buf = alloc(kLen);
  PROTO_FULL(a, 0, buf);
  a->op = FM_OP_FIRST;
  EXPECT_FALSE(fm_rdnxt(a));
  EXPECT_EQ(a->status, FM_ST_EOF);
}

// Two handles of one file in one process share its descriptor: closing one
// leaves the other's hold in force against another process (an fcntl lock
// goes with any close of the file's descriptors).
TEST_F(ShareTest, ClosingASecondHandleKeepsTheFirstOnesHold) {
  make(2);
  FmArb* a = open();
  ASSERT_NE(a, nullptr);
  uint8_t* buf = alloc(kLen);
  ASSERT_TRUE(read(a, 0, buf, FM_OP_HOLD)) << a->status;
  FmArb* b = open();
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(read(b, 1, buf, FM_OP_HOLD)) << b->status;
  ASSERT_TRUE(FM_CLOSE(b, 0));
  pid_t pid = fork();
  if (pid == 0) {
    FmArb* c = open();
    uint8_t* r = alloc(kLen);
    if (!c) _exit(2);
    bool held = !read(c, 0, r, FM_OP_HOLD) && c->status == FM_ST_LOCKED;  // still a's
    bool freed = read(c, 1, r, FM_OP_HOLD);                              // b's went with b
    _exit(held && freed ? 0 : 3);
  }
  EXPECT_EQ(exit_code(pid), 0);
}
