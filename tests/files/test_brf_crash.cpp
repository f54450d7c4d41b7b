// Crash safety: a child doing random writes, rewrites and deletes is killed
// with SIGKILL at random instants; every time the file verifies clean and
// holds exactly what was acknowledged. (The long run of the same harness is
// the brf_soak program.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "files/brf_crash.h"
#include "files/brf_support.h"
#include "files/unixio.h"

TEST(BrfCrash, KillNineAtRandomInstantsLosesNothingAcknowledged) {
  BrfTempDir d;
  std::string p = d.file("CRASH");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_crash::layout(), false, &f), 0u) << brf_error();
  brf_close(f, false);
  std::mt19937 rng(20261207);
  std::map<uint32_t, uint32_t> versions;
  uint32_t acked = 0, applied = 0;
  const int kills = 220;
  for (int i = 0; i < kills; ++i) {
    brf_crash::Round r = brf_crash::round(p, versions, rng, 4000);
    ASSERT_TRUE(r.error.empty()) << "kill " << i << ": " << r.error;
    acked += r.acked;
    applied += r.inflight_applied ? 1 : 0;
  }
  // The kills came at all kinds of moments: many operations were acknowledged,
  // and some kills fell after an operation was done but before it was reported.
  EXPECT_GT(acked, uint32_t(kills) * 5);
  EXPECT_GT(versions.size(), 100u);
  RecordProperty("acknowledged", int(acked));
  RecordProperty("inflight_applied", int(applied));
}

// Sync mode runs the same operations with the disk flushes in place.
TEST(BrfCrash, SyncModeKeepsTheSameContract) {
  uio_set_sync_mode(1);
  BrfTempDir d;
  std::string p = d.file("SYNC");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_crash::layout(), false, &f), 0u) << brf_error();
  brf_close(f, false);
  std::mt19937 rng(7);
  std::map<uint32_t, uint32_t> versions;
  for (int i = 0; i < 5; ++i) {
    brf_crash::Round r = brf_crash::round(p, versions, rng, 20000);
    ASSERT_TRUE(r.error.empty()) << "kill " << i << ": " << r.error;
  }
  uio_set_sync_mode(-1);
}

// A rebuild killed at any of its steps (each sync, rename and link, the
// last one included) or at a random instant leaves a file that opens as it
// is, with the old index or the new, verifies sound and holds every record.
TEST(BrfCrash, ARebuildKilledAtAnyStepLeavesAFileThatOpens) {
  BrfTempDir d;
  std::string p = d.file("REBUILD");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_crash::layout(), false, &f), 0u) << brf_error();
  brf_close(f, false);
  std::mt19937 rng(25);
  std::map<uint32_t, uint32_t> versions;
  // Kill rounds until the file holds enough records (a loaded machine gets
  // fewer written before each kill).
  for (int i = 0; i < 200 && (i < 15 || versions.size() <= 50u); ++i)
    ASSERT_EQ(brf_crash::round(p, versions, rng, 4000).error, "");
  ASSERT_GT(versions.size(), 50u);
  uio_set_sync_mode(1);
  std::string why;
  int steps = brf_crash::rebuild_steps(p, &why);
  ASSERT_EQ(why, "");
  EXPECT_GT(steps, 10);
  for (int k = 1; k <= steps; ++k) ASSERT_EQ(brf_crash::rebuild_round(p, versions, k, rng, 0), "") << "step " << k;
  uio_set_sync_mode(-1);
  steps = brf_crash::rebuild_steps(p, &why);
  ASSERT_EQ(why, "");
  for (int k = 1; k <= steps; ++k) ASSERT_EQ(brf_crash::rebuild_round(p, versions, k, rng, 0), "") << "step " << k;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(brfanal_rebuild(p, nullptr), 0u) << brf_error();
  auto us = uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(brf_crash::rebuild_round(p, versions, 0, rng, 3 * us + 200), "") << "kill " << i;
}

// A reorganisation killed at any of its steps or at a random instant leaves
// the old file or the new one, whole: it opens as it is (completing the
// renames when the new data file is in place), verifies sound, holds every
// record, and takes changes that survive a kill.
TEST(BrfCrash, AReorganisationKilledAtAnyStepLeavesTheOldFileOrTheNew) {
  BrfTempDir d;
  std::string p = d.file("REORG");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_crash::layout(), false, &f), 0u) << brf_error();
  brf_close(f, false);
  std::mt19937 rng(29);
  std::map<uint32_t, uint32_t> versions;
  for (int i = 0; i < 200 && (i < 15 || versions.size() <= 50u); ++i)
    ASSERT_EQ(brf_crash::round(p, versions, rng, 4000).error, "");
  ASSERT_GT(versions.size(), 50u);
  for (int sync : {1, -1}) {
    uio_set_sync_mode(sync);
    std::string why;
    int steps = brf_crash::rebuild_steps(p, &why, brf_crash::reorganise);
    ASSERT_EQ(why, "");
    EXPECT_GE(steps, 3);
    for (int k = 1; k <= steps; ++k) {
      ASSERT_EQ(brf_crash::rebuild_round(p, versions, k, rng, 0, brf_crash::reorganise), "") << "step " << k;
      ASSERT_EQ(brf_crash::round(p, versions, rng, 2000).error, "") << "a writer after step " << k;
    }
  }
  uio_set_sync_mode(-1);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(brf_reorganise(p), 0u) << brf_error();
  auto us = uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
  for (int i = 0; i < 30; ++i)
    ASSERT_EQ(brf_crash::rebuild_round(p, versions, 0, rng, 3 * us + 200, brf_crash::reorganise), "") << "kill " << i;
}

// A user who may only read the file (a child that may not write its files)
// opens a file whose reorganisation was killed at any step and reads every
// record, renaming nothing: past the data file's rename, the index that
// waits beside it. A writer's open then completes the renames.
TEST(BrfCrash, AReaderReadsAFileWhoseReorganisationWasKilledAtAnyStep) {
  namespace fs = std::filesystem;
  BrfTempDir d;
  std::string p = d.file("REORG");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_crash::layout(), false, &f), 0u) << brf_error();
  brf_close(f, false);
  std::mt19937 rng(31);
  std::map<uint32_t, uint32_t> versions;
  for (int i = 0; i < 200 && versions.size() <= 50u; ++i) ASSERT_EQ(brf_crash::round(p, versions, rng, 4000).error, "");
  std::string why;
  int steps = brf_crash::rebuild_steps(p, &why, brf_crash::reorganise);
  ASSERT_EQ(why, "");
  auto names = [&] {
    std::set<std::string> n;
    for (const auto& e : fs::directory_iterator(d.path)) n.insert(e.path().filename().string());
    return n;
  };
  auto modes = [&](mode_t m) {
    for (const auto& e : fs::directory_iterator(d.path)) ASSERT_EQ(::chmod(e.path().c_str(), m), 0);
  };
  ASSERT_EQ(::chmod(d.path.c_str(), 0755), 0);
  int waited = 0;
  for (int k = 1; k <= steps; ++k) {
    SCOPED_TRACE(k);
    pid_t pid = fork();
    if (pid == 0) {
      brf_crash::StepKill::seen = 0;
      brf_crash::StepKill::kill_at = k;
      uio_set_trace(brf_crash::StepKill::trace);
      brf_reorganise(p);
      _exit(0);
    }
    int ws;
    ASSERT_EQ(waitpid(pid, &ws, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(ws));
    std::set<std::string> before = names();
    bool waits = !before.count("REORG.rg") && before.count("REORG.ix.rg");
    waited += waits;
    modes(0444);
    pid = fork();
    if (pid == 0) {
      // The superuser writes whatever the modes say: another user then.
      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
      BrfFile* r;
      if (brf_open(p, false, &r)) {
        std::fprintf(stderr, "%s\n", brf_error().c_str());
        _exit(3);
      }
      std::map<uint32_t, std::vector<uint8_t>> have;
      if (r->st.writable || brf_crash::read_all(r, &have) != FM_ST_EOF) _exit(4);
      bool same = have.size() == versions.size();
      for (const auto& [key, v] : versions) same = same && have[key] == brf_crash::make(key, v);
      _exit(same ? 0 : 5);
    }
    ASSERT_EQ(waitpid(pid, &ws, 0), pid);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws;
    EXPECT_EQ(names(), before);
    modes(0660);
    bool alt = false;
    ASSERT_TRUE(brf_crash::check(p, versions, std::nullopt, false, &why, &alt)) << why;
    if (waits) {
      EXPECT_FALSE(fs::exists(p + ".ix.rg"));
    }
  }
  EXPECT_GE(waited, 1);
}
