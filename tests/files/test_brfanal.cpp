// The file utilities, and damaged files: a truncated, zero-filled or
// bit-flipped data or index file is found at open or by verify, and never
// read as if it were sound.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "files/brf.h"
#include "files/brf_mixed.h"
#include "files/brf_support.h"
#include "files/brfanal.h"
#include "files/fm.h"

namespace {

using Bytes = BrfBytes;

// A file of variable records with free space and moved records; returns the
// records by unique key.
std::map<std::string, Bytes> build(const std::string& p, uint32_t seed, int n = 300) {
  return brf_build_mixed(p, seed, n, {true, 500, 5});
}

// Reads everything it can; fails the test on any record that is not what
// was written. Returns whether every read succeeded and found everything.
bool read_back(const std::string& p, const std::map<std::string, Bytes>& want, std::string* err) {
  BrfFile* f;
  if (brf_open(p, false, &f)) {
    *err = brf_error();
    return false;
  }
  bool all = true;
  BrfReader rd;
  for (auto& [k, rec] : want) {
    if (rd.seek(f, 0, k.data(), 20)) all = false;
    else EXPECT_EQ(rd.rec(), rec) << "silent misread of " << k;
  }
  // A scan delivers nothing that was not written.
  size_t seen = 0;
  rd.scan(f, 1, [&](const BtCursor&) {
    auto it = want.find(std::string(rd.buf.begin(), rd.buf.begin() + 20));
    EXPECT_TRUE(it != want.end() && it->second == rd.rec()) << "the scan delivered a record that was never written";
    return ++seen <= want.size() + 10;
  });
  brf_close(f, false);
  return all && seen == want.size();
}

}  // namespace

TEST(BrfAnal, VerifyAnalyseRebuildASoundFile) {
  BrfTempDir d;
  std::string p = d.file("SOUND");
  auto recs = build(p, 1);
  BrfCheck c;
  ASSERT_EQ(brfanal_verify(p, &c), 0u);
  EXPECT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
  EXPECT_EQ(c.records, recs.size());
  BrfAnalysis a;
  ASSERT_EQ(brfanal_analyse(p, &a), 0u);
  EXPECT_EQ(a.live, recs.size());
  EXPECT_GT(a.free_slots + a.moved, 0u);
  ASSERT_GE(a.trees.size(), 3u);
  EXPECT_EQ(a.trees[0].entries, recs.size());
  EXPECT_GE(a.trees[0].height, 1u);
  // Rebuilding a sound file keeps every record and stays sound.
  std::vector<std::string> log;
  ASSERT_EQ(brfanal_rebuild(p, &log), 0u) << brf_error();
  ASSERT_EQ(brfanal_verify(p, &c), 0u);
  EXPECT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
  std::string err;
  EXPECT_TRUE(read_back(p, recs, &err)) << err;
  // The utility run mode reports and answers with its exit status.
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  EXPECT_EQ(brfanal_main('a', {p}, out), 0);
  std::fclose(out);
  std::string text(buf, len);
  free(buf);
  EXPECT_NE(text.find("sound"), std::string::npos) << text;
  EXPECT_NE(text.find("key 0:"), std::string::npos) << text;
  FILE* devnull = std::fopen("/dev/null", "w");
  EXPECT_EQ(brfanal_main('v', {d.file("MISSING")}, devnull), 2);
  std::fclose(devnull);
}

TEST(BrfAnal, RebuildRestoresALostOrDamagedIndex) {
  BrfTempDir d;
  std::string p = d.file("LOST");
  auto recs = build(p, 2);
  // Missing index.
  ASSERT_EQ(std::remove(brf_index_path(p).c_str()), 0);
  BrfFile* f;
  EXPECT_EQ(brf_open(p, false, &f), FM_ST_SYS);
  EXPECT_NE(brf_error().find("index"), std::string::npos);
  ASSERT_EQ(brfanal_rebuild(p, nullptr), 0u) << brf_error();
  std::string err;
  EXPECT_TRUE(read_back(p, recs, &err)) << err;
  // A damaged index page.
  Bytes ix = brf_slurp(brf_index_path(p));
  ix[kBtPage + 100] ^= 0x10;
  brf_spit(brf_index_path(p), ix);
  BrfCheck c;
  ASSERT_EQ(brfanal_verify(p, &c), 0u);
  EXPECT_FALSE(c.sound());
  ASSERT_EQ(brfanal_rebuild(p, nullptr), 0u) << brf_error();
  ASSERT_EQ(brfanal_verify(p, &c), 0u);
  EXPECT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
  EXPECT_TRUE(read_back(p, recs, &err)) << err;
  // A damaged record is dropped by the rebuild, the rest stay.
  Bytes data = brf_slurp(p);
  std::string victim;
  {
    BrfFile* f;
    ASSERT_EQ(brf_open(p, false, &f), 0u);
    BrfReader rd;
    for (auto& [k, rec] : recs) {
      ASSERT_EQ(rd.seek(f, 0, k.data(), 20), 0u);
      if (data[rd.r.rid] != kBrfLive) continue;  // a moved record: take one at home
      data[rd.r.rid + kBrfSlotHdr + 22] ^= 0x01;
      victim = k;
      break;
    }
    brf_close(f, false);
  }
  ASSERT_FALSE(victim.empty());
  brf_spit(p, data);
  EXPECT_FALSE(read_back(p, recs, &err));
  std::vector<std::string> log;
  ASSERT_EQ(brfanal_rebuild(p, &log), 0u) << brf_error();
  bool told = false;
  for (auto& l : log) told = told || l.find("damaged") != std::string::npos;
  EXPECT_TRUE(told) << ::testing::PrintToString(log);
  recs.erase(victim);
  ASSERT_EQ(brfanal_verify(p, &c), 0u);
  EXPECT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
  EXPECT_TRUE(read_back(p, recs, &err)) << err;
}

// Damaged copies: truncated, zero-filled, bit-flipped, in the data file or
// the index. Open and verify never crash; every damage that matters is
// reported; no read ever delivers a record other than what was written.
TEST(BrfAnal, DamagedFilesAreFoundNeverMisread) {
  BrfTempDir d;
  std::string p = d.file("FUZZ");
  auto recs = build(p, 3, 200);
  const Bytes data0 = brf_slurp(p), index0 = brf_slurp(brf_index_path(p)), jnl0 = brf_slurp(brf_journal_path(p));
  // Where the records end: damage past it (preallocated room) touches nothing.
  uint32_t end = rec::view<BrfFileHdr>(data0.data()).end.get();
  uint32_t pages = rec::view<BtHdr>(index0.data()).page_count.get();
  std::mt19937 rng(99);
  int cases = 0, found = 0, harmless = 0;
  for (int i = 0; i < 160; ++i) {
    Bytes data = data0, index = index0;
    bool in_index = rng() % 2;
    Bytes& b = in_index ? index : data;
    size_t used = in_index ? size_t(pages) * kBtPage : end;
    int kind = rng() % 3;
    if (kind == 0) {
      b.resize(rng() % used);
    } else if (kind == 1) {
      size_t at = rng() % used, n = 1 + rng() % 600;
      for (size_t j = at; j < std::min(b.size(), at + n); ++j) b[j] = 0;
    } else {
      int flips = 1 + rng() % 4;
      for (int j = 0; j < flips; ++j) b[rng() % used] ^= uint8_t(1u << (rng() % 8));
    }
    if (b == (in_index ? index0 : data0)) continue;  // zeroes over zeroes
    brf_spit(p, data);
    brf_spit(brf_index_path(p), index);
    brf_spit(brf_journal_path(p), jnl0);
    ++cases;
    BrfCheck c;
    uint32_t st = brfanal_verify(p, &c);
    ASSERT_TRUE(st == 0) << brf_error();
    std::string err;
    bool all = read_back(p, recs, &err);
    if (!c.sound()) ++found;
    else if (all) ++harmless;  // e.g. a bit of a free slot or an unused part of a page
    else ADD_FAILURE() << "case " << i << ": verify said sound but reads failed: " << err;
  }
  EXPECT_GT(cases, 100);
  EXPECT_GT(found, cases * 7 / 10) << found << " of " << cases << " found, " << harmless << " harmless";
  RecordProperty("found", found);
  RecordProperty("harmless", harmless);
  std::printf("%d damaged copies: %d found, %d harmless\n", cases, found, harmless);
}

// The engine's file-utility run modes, as a user runs them.
TEST(BrfAnal, RunModesOfTheEngine) {
  BrfTempDir d;
  std::string p = d.file("RUN");
  build(p, 4, 50);
  auto run = [&](const std::string& args, std::string* out) {
    std::string cmd = "env -i PATH=/usr/bin:/bin QUVO_TEST_HOME='" + d.path + "' '" QUVO_BINARY "' " + args +
                      " > '" + d.path + "/out' 2>&1";
    int ws = std::system(cmd.c_str());
    std::ifstream in(d.path + "/out");
    *out = std::string(std::istreambuf_iterator<char>(in), {});
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  };
  std::string out;
  EXPECT_EQ(run("-fv '" + p + "'", &out), 0) << out;
  EXPECT_NE(out.find("sound (40 records"), std::string::npos) << out;
  EXPECT_EQ(run("-fa '" + p + "'", &out), 0) << out;
  EXPECT_NE(out.find("depth"), std::string::npos) << out;
  Bytes ix = brf_slurp(brf_index_path(p));
  ix[kBtPage + 40] ^= 0x80;
  brf_spit(brf_index_path(p), ix);
  EXPECT_EQ(run("-fv '" + p + "'", &out), 2) << out;
  EXPECT_NE(out.find("NOT SOUND"), std::string::npos) << out;
  EXPECT_EQ(run("-fr '" + p + "'", &out), 0) << out;
  EXPECT_EQ(run("-fv '" + p + "'", &out), 0) << out;
  EXPECT_EQ(run("-fv '" + d.file("NONE") + "'", &out), 2) << out;
  EXPECT_EQ(run("-fv", &out), 1) << out;
}
