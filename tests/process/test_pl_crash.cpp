// Saved modules across engine processes: a module saved by one engine runs
// in a fresh engine process; an engine killed (SIGKILL) at random instants
// while it saves a module again leaves the old module or the new one, whole;
// two engines saving and loading the same module at once never load a torn
// one.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "files/fmint.h"
#include "process/pl_fixture.h"
#include "support/child_test.h"

using namespace pltest;

namespace {

const Desc kA{{1, 2, 3}, {10, 20}, {}, false};
// A larger version: its save takes longer, so more kills come mid-write.
Desc big() {
  Desc d;
  for (uint32_t i = 0; i < 3000; ++i) d.values.push_back(i * 3 + 4);
  for (uint32_t i = 0; i < 600; ++i) d.constants.push_back(i + 30);
  return d;
}
const Desc kB = big();

// This engine's temporary-file name for a process id ('_' and seven base-36
// digits).
std::string temp_name_of(pid_t pid) {
  std::string n = "_0000000";
  unsigned long v = static_cast<unsigned long>(pid);
  for (int i = 7; i >= 1; --i, v /= 36) n[size_t(i)] = "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36];
  return n;
}

// The names of a directory that start with '_' (none when it is missing).
std::vector<std::string> temp_files(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& f : std::filesystem::directory_iterator(dir, ec))
    if (f.path().filename().string()[0] == '_') out.push_back(f.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// A process id that no longer exists: a child that ended and was reaped.
pid_t dead_pid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  int st = 0;
  waitpid(pid, &st, 0);
  return pid;
}

class PlCrash : public ::testing::Test {
 protected:
  Engine e;
  void SetUp() override {
    descs().clear();
    compiles() = 0;
    e.start();
    e.dictionary();
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {proc_rec("P1")}), 1);
    descs()["P1"] = kA;
  }
  void TearDown() override {
    e.stop();
    descs().clear();
  }
  // Compiles version d of P1 and saves it (the module is never relocated).
  static bool save_version(Engine& eng, const Desc& d) {
    descs()["P1"] = d;
    fx::Rec def = proc_rec("P1");
    Pcb* p = eng.pcb("P1");
    if (!build_em(&rec::view<DProc>(def.data()), p, 1)) return false;
    int ok = pl_put(p->module.get());
    pl_release(p);
    Engine::free_pcb(p);
    return ok == 1;
  }
  // Loads P1 from its saved file in a cache emptied first: its result, or 0
  // when it had to be compiled (compiling is refused here).
  static uint32_t load_and_run(Engine& eng) {
    pl_flush();
    descs()["P1"].fail = true;
    int before = compiles();
    Pcb* p = eng.pcb("P1");
    uint32_t r = 0;
    if (pl_get(p, 1) && compiles() == before) r = Engine::run(p);
    pl_release(p);
    Engine::free_pcb(p);
    descs()["P1"].fail = false;
    return r;
  }
};

// The child side of the fresh-engine test: an engine over the parent's data
// directory that may not compile.
TEST(PlChild, RunsEventPoint01OfTheSavedModule) {
  const char* dir = getenv("QUVO_PL_CHILD_DIR");
  const char* out = getenv("QUVO_PL_CHILD_OUT");
  if (!dir || !out) GTEST_SKIP() << "run by PlCrash.ASavedModuleRunsInAFreshEngineProcess";
  Engine e;
  e.dir = dir;
  e.start(false);
  descs().clear();  // nothing compiles here
  compiles() = 0;
  Pcb* p = e.pcb("P1");
  int got = pl_get(p, 1);
  uint32_t r = got ? Engine::run(p) : 0;
  std::ofstream(out) << got << " " << compiles() << " " << r << "\n";
  pl_release(p);
  e.stop(false);
}

TEST_F(PlCrash, ASavedModuleRunsInAFreshEngineProcess) {
  Pcb* p = e.pcb("P1");
  ASSERT_EQ(pl_get(p, 1), 1);
  uint32_t want = Engine::run(p);
  pl_release(p);
  std::string out = e.dir + "/child.out";
  ASSERT_EQ(run_child_test("PlChild.RunsEventPoint01OfTheSavedModule", {{"QUVO_PL_CHILD_DIR", e.dir}, {"QUVO_PL_CHILD_OUT", out}}), 0);
  int got = 0, n = -1;
  uint32_t r = 0;
  std::ifstream(out) >> got >> n >> r;
  EXPECT_EQ(got, 1);
  EXPECT_EQ(n, 0);  // loaded, not compiled
  EXPECT_EQ(r, want);
  EXPECT_EQ(want, expected(kA));
}

TEST_F(PlCrash, AKilledSaveLeavesTheOldOrTheNewModuleWhole) {
  int kills = 200;
  if (const char* k = getenv("QUVO_PL_KILLS")) kills = std::max(200, atoi(k));
  ASSERT_TRUE(save_version(e, kA));
  ASSERT_EQ(load_and_run(e), expected(kA));
  std::mt19937 rng(uint32_t(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::uniform_int_distribution<int> wait_us(0, int(15000 * kChildSlowdown));
  int seen_a = 0, seen_b = 0;
  for (int i = 0; i < kills; ++i) {
    // The delay counts from the start of the child's first save (of B) or
    // of its second (of A; B then whole on file), however long the child's
    // start and its first save (its page faults) take on this machine; now
    // and then from the fork.
    BeginPipe begins;
    uint32_t us = uint32_t(wait_us(rng));
    bool from_fork = rng() % 8 == 0;
    KillClock clock(us, from_fork, 1 + int(rng() % 2));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (unsigned n = 0;; ++n) {
        begins.begun();
        save_version(e, n % 2 ? kA : kB);
      }
    }
    begins.kill_when_due(pid, clock);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << "kill " << i;
    uint32_t r = load_and_run(e);
    ASSERT_TRUE(r == expected(kA) || r == expected(kB)) << "kill " << i << ": " << r;
    (r == expected(kA) ? seen_a : seen_b)++;
  }
  // Kills that came while a file was being written leave that engine's
  // temporary file behind.
  int torn_writes = 0;
  for (const char* sub : {"/mod/ABC00", "/dbg/ABC00"})
    for (const auto& f : std::filesystem::directory_iterator(e.dir + sub))
      if (f.path().filename().string()[0] == '_') ++torn_writes;
  std::printf("%d kills (%d during a write): version A %d times, version B %d times\n", kills, torn_writes,
              seen_a, seen_b);
  EXPECT_GT(torn_writes, 0);
  EXPECT_GT(seen_a, 0);
  EXPECT_GT(seen_b, 0);
  // The next engine to save there removes them (their engines are gone),
  // and the module saved is whole.
  e.stop(false);
  e.start(false);
  ASSERT_TRUE(save_version(e, kB));
  for (const char* sub : {"/mod/ABC00", "/dbg/ABC00"})
    for (const std::string& n : temp_files(e.dir + sub)) ADD_FAILURE() << sub << "/" << n << " left";
  EXPECT_EQ(load_and_run(e), expected(kB));
}

TEST_F(PlCrash, TwoEnginesSavingAndLoadingTheSameModuleAlwaysLoadItWhole) {
  ASSERT_TRUE(save_version(e, kA));
  constexpr int kRounds = 1000;
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    kids[k] = fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] == 0) {
      int torn = 0;
      for (int n = 0; n < kRounds; ++n) {
        if (!save_version(e, (n + k) % 2 ? kA : kB)) ++torn;
        uint32_t r = load_and_run(e);
        if (r != expected(kA) && r != expected(kB)) ++torn;
      }
      _exit(torn > 100 ? 100 : torn);
    }
  }
  for (pid_t kid : kids) {
    int st = 0;
    ASSERT_EQ(waitpid(kid, &st, 0), kid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0) << "saves failed or loads were not whole";
  }
  uint32_t r = load_and_run(e);
  EXPECT_TRUE(r == expected(kA) || r == expected(kB));
}

// Temporary files of killed engines are removed by the next engine that
// saves into their directory; only files named by a process id that is gone,
// never another live engine's, nor other names.
TEST_F(PlCrash, StaleTemporaryFilesOfKilledEnginesAreRemoved) {
  ASSERT_TRUE(save_version(e, kA));
  pid_t live = fork();
  ASSERT_GE(live, 0);
  if (live == 0) {
    pause();
    _exit(0);
  }
  const std::string dead1 = temp_name_of(dead_pid()), dead2 = temp_name_of(dead_pid());
  const std::string alive = temp_name_of(live);
  const std::vector<std::string> others = {"_ABCDEFG", "_abc", "_0000001", "_zzzzzzz", "x" + dead1.substr(1),
                                           dead1 + "x"};
  for (const char* sub : {"/mod/ABC00", "/dbg/ABC00"}) {
    const std::string dir = e.dir + sub;
    for (const std::string& n : {dead1, dead2, alive})
      std::ofstream(dir + "/" + n) << "half a module";
    for (const std::string& n : others) std::ofstream(dir + "/" + n) << "not ours";
  }
  // A directory with a stale name is no temporary file.
  const std::string dead_dir = e.dir + "/mod/ABC00/" + temp_name_of(dead_pid());
  std::filesystem::create_directory(dead_dir);
  // This engine state has swept already: nothing goes until a new one saves.
  ASSERT_TRUE(save_version(e, kB));
  EXPECT_TRUE(std::filesystem::exists(e.dir + "/mod/ABC00/" + dead1));
  e.stop(false);
  e.start(false);
  ASSERT_TRUE(save_version(e, kA));
  for (const char* sub : {"/mod/ABC00", "/dbg/ABC00"}) {
    const std::string dir = e.dir + sub;
    EXPECT_FALSE(std::filesystem::exists(dir + "/" + dead1)) << sub;
    EXPECT_FALSE(std::filesystem::exists(dir + "/" + dead2)) << sub;
    EXPECT_TRUE(std::filesystem::exists(dir + "/" + alive)) << sub;
    for (const std::string& n : others) EXPECT_TRUE(std::filesystem::exists(dir + "/" + n)) << sub << " " << n;
    EXPECT_FALSE(std::filesystem::exists(dir + "/" + temp_name_of(getpid()))) << sub;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dead_dir));
  EXPECT_EQ(load_and_run(e), expected(kA));
  // Once its engine is gone, the live one's file goes too.
  kill(live, SIGKILL);
  int st = 0;
  ASSERT_EQ(waitpid(live, &st, 0), live);
  e.stop(false);
  e.start(false);
  ASSERT_TRUE(save_version(e, kB));
  EXPECT_FALSE(std::filesystem::exists(e.dir + "/mod/ABC00/" + alive));
  EXPECT_FALSE(std::filesystem::exists(e.dir + "/dbg/ABC00/" + alive));
  EXPECT_EQ(load_and_run(e), expected(kB));
}

// A saved module file another engine holds (status 200390 at its open) is
// opened again at once, then every 2 seconds until it is free; the module
// is then loaded, not compiled.
namespace busy {
FmHandlers table;
int left = 0, opens = 0;
int open_busy(FmArb* a) {
  if (a->file->fdb.path_type == FM_PT_MOD) {
    ++opens;
    if (left > 0) {
      --left;
      a->status = FM_ST_BUSY;
      return 0;
    }
  }
  return fmi::seq_handlers.open(a);
}
}  // namespace busy

TEST_F(PlCrash, ABusySavedFileIsWaitedFor) {
  ASSERT_TRUE(save_version(e, kA));
  busy::table = fmi::seq_handlers;
  busy::table.open = busy::open_busy;
  fm_register_backend(FM_BE_SEQ, &busy::table);
  busy::left = 3;
  busy::opens = 0;
  auto t0 = std::chrono::steady_clock::now();
  uint32_t r = load_and_run(e);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  fm_register_backend(FM_BE_SEQ, &fmi::seq_handlers);
  EXPECT_EQ(r, expected(kA));     // loaded whole, not compiled
  EXPECT_EQ(busy::opens, 4);      // three busy opens, then the one that worked
  // Open, at once again, then two waits of 2 seconds.
  EXPECT_GE(waited, 3.9);
  EXPECT_LT(waited, 8.0);
  // A missing file is compiled as usual: its absence is seen before any
  // open (the trust check of its path).
  busy::table.open = busy::open_busy;
  fm_register_backend(FM_BE_SEQ, &busy::table);
  busy::left = 1;
  busy::opens = 0;
  std::filesystem::remove(e.dir + "/mod/ABC00/" + stamp_name());
  pl_flush();
  Pcb* p = e.pcb("P1");
  int before = compiles();
  EXPECT_EQ(pl_get(p, 1), 1);
  fm_register_backend(FM_BE_SEQ, &fmi::seq_handlers);
  EXPECT_EQ(compiles(), before + 1);
  EXPECT_EQ(busy::opens, 0);
  EXPECT_EQ(Engine::run(p), expected(kA));
  pl_release(p);
}

}  // namespace
