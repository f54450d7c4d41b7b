// Crash safety: a child doing random writes, rewrites and deletes is killed
// with SIGKILL at random instants; every time the file verifies clean and
// holds exactly what was acknowledged. (The long run of the same harness is
// the brf_soak program.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>

#include "files/brf_crash.h"
#include "files/brf_mixed.h"
#include "files/brf_support.h"
#include "files/unixio.h"

// Variable-length records, then records of one length (whose deleted slots
// go onto the free chain).
TEST(BrfCrash, KillNineAtRandomInstantsLosesNothingAcknowledged) {
  for (uint16_t fixed : {uint16_t(0), brf_crash::kFixed}) {
    SCOPED_TRACE(fixed ? "fixed-length records" : "variable-length records");
    BrfTempDir d;
    std::string p = d.file("CRASH");
    BrfFile* f;
    ASSERT_EQ(brf_create(p, brf_crash::layout(fixed), false, &f), 0u) << brf_error();
    brf_close(f, false);
    std::mt19937 rng(20261207 + fixed);
    std::map<uint32_t, uint32_t> versions;
    uint32_t acked = 0, applied = 0;
    const int kills = fixed ? 120 : 220;
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
    RecordProperty(fixed ? "acknowledged_fixed" : "acknowledged", int(acked));
    RecordProperty(fixed ? "inflight_applied_fixed" : "inflight_applied", int(applied));
  }
}

// An insert that takes a slot off the free chain, a delete that puts one on
// it and a rebuild that puts the chain's slots into the free-space tree,
// each killed before every flush (sync mode), rename and link it makes and
// after the last: the file opens verified sound with the change made or
// not, and the inserts after it take every free slot once.
TEST(BrfCrash, FreeChainTakePutAndRebuildKilledAtEveryStep) {
  namespace fs = std::filesystem;
  using namespace brf_crash;
  BrfTempDir d;
  std::string p = d.file("CHAIN");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, layout(kFixed), false, &f), 0u) << brf_error();
  std::map<uint32_t, uint32_t> versions;
  auto rid_of = [&](BrfFile* h, uint32_t key) {
    std::vector<uint8_t> buf(kFixed);
    BtCursor c;
    BrfRead rd;
    rd.buf = buf.data();
    rd.cap = kFixed;
    auto k = make(key, 0, kFixed);
    return brf_seek(h, 0, k.data(), 20, BrfSeek::Exact, c, rd) ? 0u : rd.rid;
  };
  auto put = [&](BrfFile* h, uint32_t key) {
    uint32_t rid;
    auto r = make(key, 1, kFixed);
    return brf_insert(h, r.data(), kFixed, &rid);
  };
  for (uint32_t k = 0; k < 40; ++k) {
    ASSERT_EQ(put(f, k), 0u);
    versions[k] = 1;
  }
  for (uint32_t k : {5u, 17u, 30u}) {
    ASSERT_EQ(brf_remove(f, rid_of(f, k)), 0u);
    versions.erase(k);
  }
  brf_close(f, false);
  std::map<std::string, BrfBytes> good;
  for (const auto& e : fs::directory_iterator(d.path)) good[e.path().string()] = brf_slurp(e.path().string());
  uio_set_sync_mode(1);
  for (char op : {'w', 'd', 'b'}) {
    SCOPED_TRACE(op);
    const uint32_t key = op == 'w' ? 100 : 20;
    int k = 1;
    for (bool whole = false; !whole; ++k) {
      SCOPED_TRACE(k);
      for (const auto& e : fs::directory_iterator(d.path)) fs::remove(e.path());
      for (const auto& [name, bytes] : good) brf_spit(name, bytes);
      int ws = 0;
      if (op == 'b') {
        ws = kill_at_step(p, k, rebuild);
      } else if (pid_t pid = fork(); pid == 0) {
        BrfFile* c;
        if (brf_open(p, false, &c)) _exit(3);
        StepKill::seen = 0;
        StepKill::kill_at = k;
        uio_set_trace(StepKill::trace);
        _exit((op == 'w' ? put(c, key) : brf_remove(c, rid_of(c, key))) ? 4 : 0);
      } else {
        ASSERT_EQ(waitpid(pid, &ws, 0), pid);
      }
      whole = WIFEXITED(ws);
      ASSERT_TRUE(whole ? WEXITSTATUS(ws) == 0 : WTERMSIG(ws) == SIGKILL) << ws;
      std::string why;
      bool made = false;
      if (op == 'b') ASSERT_TRUE(check(p, versions, std::nullopt, false, &why, &made)) << why;
      else ASSERT_TRUE(check(p, versions, std::make_pair(key, 1u), op == 'd', &why, &made)) << why;
      EXPECT_TRUE(!whole || made || op == 'b');
      std::map<uint32_t, uint32_t> now = versions;
      if (made && op == 'w') now[key] = 1;
      if (made && op == 'd') now.erase(key);
      ASSERT_EQ(brf_open(p, false, &f), 0u) << brf_error();
      for (uint32_t n = 200; n < 205; ++n) {
        ASSERT_EQ(put(f, n), 0u) << brf_error();
        now[n] = 1;
      }
      brf_close(f, false);
      ASSERT_TRUE(check(p, now, std::nullopt, false, &why, &made)) << why;
    }
    EXPECT_GT(k, 3);
  }
  uio_set_sync_mode(-1);
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
    ASSERT_TRUE(WIFSIGNALED(brf_crash::kill_at_step(p, k, brf_crash::reorganise)));
    std::set<std::string> before = names();
    bool waits = !before.count("REORG.rg") && before.count("REORG.ix.rg");
    waited += waits;
    modes(0444);
    EXPECT_EQ(brf_crash::read_as_reader(p, versions), 0);
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

// The index that waits beside the data file after a killed reorganisation,
// put there by someone else: another file's, cut short, a link to the good
// one, or its pages overwritten. A user who may only read refuses it at the
// open or at the first page it spoils; never a record that was not written.
TEST(BrfCrash, AReaderRefusesAWaitingIndexThatIsNotTheFilesOwn) {
  namespace fs = std::filesystem;
  BrfTempDir d, other;
  std::string p = d.file("REORG"), q = other.file("REORG");
  std::mt19937 rng(37);
  std::map<uint32_t, uint32_t> versions, theirs;
  for (const std::string& path : {p, q}) {
    BrfFile* f;
    ASSERT_EQ(brf_create(path, brf_crash::layout(), false, &f), 0u) << brf_error();
    brf_close(f, false);
  }
  for (int i = 0; i < 200 && versions.size() <= 50u; ++i) ASSERT_EQ(brf_crash::round(p, versions, rng, 4000).error, "");
  ASSERT_EQ(brf_crash::round(q, theirs, rng, 4000).error, "");
  ASSERT_EQ(brf_reorganise(q), 0u);
  std::string why;
  int steps = brf_crash::rebuild_steps(p, &why, brf_crash::reorganise);
  ASSERT_EQ(why, "");
  const std::string waiting = brf_index_path(p) + ".rg";
  std::map<std::string, BrfBytes> killed;
  for (int k = 1; k <= steps && killed.empty(); ++k) {
    brf_crash::kill_at_step(p, k, brf_crash::reorganise);
    if (!fs::exists(p + ".rg") && fs::exists(waiting))
      for (const auto& e : fs::directory_iterator(d.path)) killed[e.path().string()] = brf_slurp(e.path().string());
  }
  ASSERT_FALSE(killed.empty());
  ASSERT_EQ(::chmod(d.path.c_str(), 0755), 0);
  const BrfBytes ix = killed[waiting];
  const uint32_t pages = rec::view<BtHdr>(ix.data()).page_count.get();
  ASSERT_GT(pages, 2u);
  const struct {
    const char* what;
    std::function<void()> harm;
    std::set<int> allowed;
  } cases[] = {
      {"its own", [] {}, {0}},
      {"another file's", [&] { brf_spit(waiting, brf_slurp(brf_index_path(q))); }, {3}},
      {"one page", [&] { brf_spit(waiting, BrfBytes(ix.begin(), ix.begin() + kBtPage)); }, {3}},
      {"a page short of its count",
       [&] { brf_spit(waiting, BrfBytes(ix.begin(), ix.begin() + long(pages - 1) * kBtPage)); },
       {3}},
      {"a link to its own",
       [&] {
         brf_spit(waiting + ".x", ix);
         fs::remove(waiting);
         fs::create_symlink(waiting + ".x", waiting);
       },
       {3}},
      {"pages overwritten",
       [&] {
         BrfBytes b = ix;
         for (size_t i = kBtPage; i < b.size(); ++i) b[i] = uint8_t(rng());
         brf_spit(waiting, b);
       },
       {3, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& e : fs::directory_iterator(d.path)) fs::remove(e.path());
    for (const auto& [name, bytes] : killed) brf_spit(name, bytes);
    c.harm();
    for (const auto& e : fs::directory_iterator(d.path)) ::chmod(e.path().c_str(), 0444);
    int got = brf_crash::read_as_reader(p, versions);
    EXPECT_TRUE(c.allowed.count(got)) << got;
  }
}
