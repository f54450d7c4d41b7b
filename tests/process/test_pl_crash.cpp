// Saved modules across engine processes: a module saved by one engine runs
// in a fresh engine process; an engine killed (SIGKILL) at random instants
// while it saves a module again leaves the old module or the new one, whole;
// two engines saving and loading the same module at once never load a torn
// one.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "process/pl_fixture.h"

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
    mm_free(p->area_addr.get()[kPcbStatusArea].get());
    mm_free(p->area_addr.get());
    mm_free(p);
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
    mm_free(p->area_addr.get()[kPcbStatusArea].get());
    mm_free(p->area_addr.get());
    mm_free(p);
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
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("QUVO_PL_CHILD_DIR", e.dir.c_str(), 1);
    setenv("QUVO_PL_CHILD_OUT", out.c_str(), 1);
    execl("/proc/self/exe", "test_process", "--gtest_filter=PlChild.RunsEventPoint01OfTheSavedModule",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
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
  std::uniform_int_distribution<int> wait_us(0, 15000);
  int seen_a = 0, seen_b = 0;
  for (int i = 0; i < kills; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (unsigned n = 0;; ++n) save_version(e, n % 2 ? kA : kB);
    }
    usleep(useconds_t(wait_us(rng)));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
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

}  // namespace
