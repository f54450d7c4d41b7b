// The file utilities, and damaged files: a truncated, zero-filled or
// bit-flipped data or index file is found at open or by verify, and never
// read as if it were sound.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "files/brf.h"
#include "files/brf_mixed.h"
#include "files/brf_support.h"
#include "files/brfanal.h"
#include "files/fm.h"
#include "files/unixio.h"
#include "support/quvo_run.h"

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
  EXPECT_EQ(run("-fo '" + p + "'", &out), 0) << out;
  EXPECT_NE(out.find(": reorganised: 40 records in key order"), std::string::npos) << out;
  EXPECT_EQ(run("-fv '" + p + "'", &out), 0) << out;
  EXPECT_EQ(run("-fv '" + d.file("NONE") + "'", &out), 2) << out;
  EXPECT_EQ(run("-fv", &out), 1) << out;
}

namespace {

// What the utility run mode writes and answers.
struct Ran {
  int status;
  std::string text;
};
Ran utility(char mode, const std::vector<std::string>& paths) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  int st = brfanal_main(mode, paths, out);
  std::fclose(out);
  Ran r{st, std::string(buf, len)};
  free(buf);
  return r;
}

// A native file of n records (keys 0 and 1).
void small_file(const std::string& p, int n) {
  std::filesystem::create_directories(std::filesystem::path(p).parent_path());
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_test_layout(), false, &f), 0u) << brf_error();
  std::vector<uint8_t> rec(200);
  for (int i = 0; i < n; ++i) {
    brf_make_rec(rec.data(), rec.size(), uint32_t(i), uint32_t(i % 2));
    uint32_t rid;
    ASSERT_EQ(brf_insert(f, rec.data(), 200, &rid), 0u);
  }
  brf_close(f, false);
}

// A sequential file as the file manager writes one: its 32-byte header,
// then each record as its length (4 bytes) and its bytes.
void seq_file(const std::string& p, int records) {
  std::string b("QVSEQ001", 8);
  b.append(24, '\0');
  for (int i = 0; i < records; ++i) b.append(std::string("\x05\0\0\0", 4) + "HELLO");
  std::ofstream(p, std::ios::binary) << b;
}

}  // namespace

// Given a directory, the utilities take every native data file below it
// (never through a link), say what each sequential file is instead of
// refusing it, and end with a line for the directory.
TEST(BrfAnal, UtilitiesTakeEveryNativeFileBelowADirectory) {
  BrfTempDir d;
  const std::string& D = d.path;
  small_file(D + "/A", 3);
  small_file(D + "/sub/B", 2);
  seq_file(D + "/sub/PARAM", 1);
  seq_file(D + "/sub/LIST", 2);
  std::ofstream(D + "/notes.txt") << "not a file of the engine\n";
  ASSERT_EQ(symlink((D + "/A").c_str(), (D + "/sub/link").c_str()), 0);
  std::filesystem::create_directories(D + "/empty");
  const std::string a_sound = D + "/A: sound (3 records, 0 free slots, 0 moved; index entries: key 0 3, key 1 3, free space 0)\n";
  const std::string b_sound = D + "/sub/B: sound (2 records, 0 free slots, 0 moved; index entries: key 0 2, key 1 2, free space 0)\n";
  const std::string seqs = D + "/sub/LIST: a sequential file of 2 records, not a native file: nothing to verify\n" + D +
                           "/sub/PARAM: a single-record file, not a native file: nothing to verify\n";
  Ran r = utility('v', {D});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.text, a_sound + b_sound + seqs + D + ": 2 native files verified, all sound\n");
  r = utility('v', {D + "/sub/PARAM"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.text, D + "/sub/PARAM: a single-record file, not a native file: nothing to verify\n");
  r = utility('r', {D + "/sub/PARAM"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.text, D + "/sub/PARAM: a single-record file, not a native file: it has no index to rebuild\n");
  r = utility('v', {D + "/empty"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.text, D + "/empty: no native files below it\n");
  // A damaged index below it: exit status 2, and -fa says so last.
  Bytes ix = brf_slurp(brf_index_path(D + "/sub/B"));
  ix[kBtPage + 40] ^= 0x80;
  brf_spit(brf_index_path(D + "/sub/B"), ix);
  r = utility('v', {D});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.text.substr(r.text.rfind('\n', r.text.size() - 2) + 1), D + ": 2 native files verified, 1 not sound\n");
  r = utility('a', {D + "/sub/B"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.text.substr(r.text.rfind('\n', r.text.size() - 2) + 1), "exit status 2: not every file is sound (above)\n");
  r = utility('r', {D});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.text, D + "/A: index rebuilt: 3 records kept, nothing left out\n" + D +
                        "/sub/B: index rebuilt: 2 records kept, nothing left out\n" +
                        D + "/sub/LIST: a sequential file of 2 records, not a native file: it has no index to rebuild\n" +
                        D + "/sub/PARAM: a single-record file, not a native file: it has no index to rebuild\n" + D +
                        ": 2 native files rebuilt, nothing left out\n");
  r = utility('a', {D + "/A"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.text.substr(r.text.rfind('\n', r.text.size() - 2) + 1), "exit status 0: every file is sound\n");
}

// A rebuild or reorganisation of a file another process has open names who
// has it and says what to do.
TEST(BrfAnal, ARebuildOfAFileInUseSaysWhatToDo) {
  BrfTempDir d;
  std::string p = d.file("BUSY");
  small_file(p, 1);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    BrfFile* f;
    char c = 'o';
    if (brf_open(p, false, &f) || write(fds[1], &c, 1) != 1) _exit(2);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(::read(fds[0], &c, 1), 1);
  Ran r = utility('r', {p});
  Ran o = utility('o', {p});
  std::string who = uio_who(pid);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.text, p + " is in use by " + who +
                        ": the rebuild needs the file to itself; end the engines that have it open, then run quvo -fr "
                        "again\n");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.text, p + " is in use by " + who +
                        ": the reorganisation needs the file to itself; end the engines that have it open, then run "
                        "quvo -fo again\n");
}

namespace {
// Before each rename of a reorganisation: whether another process could
// open the file (it must find it busy).
struct OpenDuringRenames {
  static inline std::string path;
  static inline std::vector<int> refused;
  static int trace(UioStep step, int, const char*, const char*) {
    if (step != UioStep::Rename) return 0;
    pid_t pid = fork();
    if (pid == 0) {
      BrfFile* f;
      _exit(brf_open(path, false, &f) == FM_ST_BUSY ? 0 : 1);
    }
    int ws = -1;
    waitpid(pid, &ws, 0);
    refused.push_back(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    return 0;
  }
};

std::string key_of(const BrfReader& rd) { return std::string(rd.buf.begin(), rd.buf.begin() + 20); }
uint32_t group_of(const BrfReader& rd) {
  uint32_t g;
  std::memcpy(&g, rd.buf.data() + 20, 4);
  return g;
}
// The unique keys in the order of the duplicate key.
std::vector<std::string> dup_order(BrfFile* f) {
  std::vector<std::string> keys;
  BrfReader rd;
  rd.scan(f, 1, [&](const BtCursor&) {
    keys.push_back(key_of(rd));
    return true;
  });
  return keys;
}
}  // namespace

// A reorganisation writes the records anew in key order, packed from the
// header on, each keeping its write sequence: duplicates keep their order
// and a record written after it comes after them. Nobody opens the file
// while it runs; an index waiting beside a file is taken only when it is
// that file's.
TEST(BrfAnal, AReorganisationWritesTheRecordsInKeyOrder) {
  BrfTempDir d;
  std::string p = d.file("REORG");
  auto recs = build(p, 7);
  BrfFile* f;
  ASSERT_EQ(brf_open(p, false, &f), 0u);
  std::vector<std::string> before = dup_order(f);
  EXPECT_EQ(brf_reorganise(p), FM_ST_BUSY);
  brf_close(f, false);
  Bytes old_ix = brf_slurp(brf_index_path(p));
  OpenDuringRenames::path = p;
  uio_set_trace(OpenDuringRenames::trace);
  BrfReorganised r;
  uint32_t st = brf_reorganise(p, &r);
  uio_set_trace(nullptr);
  ASSERT_EQ(st, 0u) << brf_error();
  EXPECT_EQ(OpenDuringRenames::refused, std::vector<int>(3, 1));
  EXPECT_EQ(r.records, recs.size());
  EXPECT_LT(r.size_after, r.size_before);
  BrfCheck c;
  ASSERT_EQ(brfanal_verify(p, &c), 0u);
  EXPECT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
  EXPECT_EQ(c.free_slots + c.moved, 0u);
  std::string err;
  EXPECT_TRUE(read_back(p, recs, &err)) << err;
  ASSERT_EQ(brf_open(p, false, &f), 0u);
  uint64_t at = kBrfHdrSize;
  auto want = recs.begin();
  BrfReader rd;
  EXPECT_EQ(rd.scan(f, 0, [&](const BtCursor&) {
    EXPECT_EQ(rd.r.rid, at);
    EXPECT_TRUE(want != recs.end() && key_of(rd) == want->first);
    at += kBrfSlotOver + rd.r.len;
    ++want;
    return true;
  }), FM_ST_EOF);
  EXPECT_EQ(brf_counts(f).end, at);
  EXPECT_EQ(r.size_after, at + kBrfSlotHdr);
  EXPECT_EQ(dup_order(f), before);
  // A record of an existing group written now comes last in its group.
  ASSERT_EQ(rd.seek(f, 0, recs.begin()->first.data(), 20), 0u);
  uint32_t g = group_of(rd);
  std::vector<uint8_t> rec(100);
  brf_make_rec(rec.data(), rec.size(), 99999, g);
  uint32_t rid;
  ASSERT_EQ(brf_insert(f, rec.data(), 100, &rid), 0u) << brf_error();
  std::string last;
  rd.scan(f, 1, [&](const BtCursor&) {
    if (group_of(rd) == g) last = key_of(rd);
    return group_of(rd) <= g;
  });
  EXPECT_EQ(last, std::string(reinterpret_cast<char*>(rec.data()), 20));
  brf_close(f, false);
  // A file without keys keeps its write order, packed.
  std::string q = d.file("NOKEYS");
  BrfLayout lay;
  lay.rec_len = 40;
  lay.org = 2;
  ASSERT_EQ(brf_create(q, lay, false, &f), 0u) << brf_error();
  std::vector<uint32_t> rids(6);
  for (uint32_t i = 0; i < 6; ++i) {
    brf_make_rec(rec.data(), 40, i, 0);
    ASSERT_EQ(brf_insert(f, rec.data(), 40, &rids[i]), 0u);
  }
  ASSERT_EQ(brf_remove(f, rids[1]), 0u);
  brf_close(f, false);
  ASSERT_EQ(brf_reorganise(q), 0u) << brf_error();
  ASSERT_EQ(brf_open(q, false, &f), 0u);
  std::vector<uint32_t> ids;
  at = kBrfHdrSize;
  rd.scan(f, kBtOrderTree, [&](const BtCursor&) {
    EXPECT_EQ(rd.r.rid, at);
    at += kBrfSlotOver + 40;
    ids.push_back(uint32_t(std::stoul(key_of(rd).substr(1))));
    return true;
  });
  brf_close(f, false);
  EXPECT_EQ(ids, (std::vector<uint32_t>{0, 2, 3, 4, 5}));
  // A header whose count of live records is one above or one below what
  // the index leads to is refused, the file left as it was.
  Bytes data = brf_slurp(q);
  for (int delta : {1, -1}) {
    Bytes forged = data;
    BrfFileHdr& h = rec::view<BrfFileHdr>(forged.data());
    h.live = uint32_t(int(h.live.get()) + delta);
    h.sum = brf_hdr_sum(h);
    brf_spit(q, forged);
    EXPECT_EQ(brf_reorganise(q), FM_ST_SYS) << delta;
    EXPECT_NE(brf_error().find("its index does not match its records"), std::string::npos) << brf_error();
    EXPECT_EQ(brf_slurp(q), forged);
    EXPECT_FALSE(brf_exists(brf_reorg_path(q)));
  }
  brf_spit(q, data);
  // An index of the new generation waiting beside the data file whose copy
  // of the header is not the header now, the old index in place: not taken.
  std::string ix = brf_index_path(p);
  brf_spit(ix + ".rg", brf_slurp(ix));
  brf_spit(ix, old_ix);
  EXPECT_EQ(brf_open(p, false, &f), FM_ST_SYS);
  EXPECT_TRUE(brf_exists(ix + ".rg"));
}

// How many of a file's pages the system holds in units of more than one
// page, as its own page flags say (-1 when this process may not read them).
int pages_in_large_units(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  int pm = ::open("/proc/self/pagemap", O_RDONLY), kf = ::open("/proc/kpageflags", O_RDONLY);
  struct stat st {};
  int n = -1;
  if (fd >= 0 && pm >= 0 && kf >= 0 && ::fstat(fd, &st) == 0) {
    size_t len = size_t(st.st_size);
    auto* m = static_cast<volatile uint8_t*>(::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0));
    if (m != MAP_FAILED) {
      ::madvise(const_cast<uint8_t*>(m), len, MADV_RANDOM);
      n = 0;
      for (size_t at = 0; at < len && n >= 0; at += 4096) {
        static_cast<void>(m[at]);
        uint64_t e = 0, flags = 0, pfn;
        off_t slot = off_t(reinterpret_cast<uintptr_t>(m + at) / 4096 * 8);
        if (::pread(pm, &e, 8, slot) != 8 || !(pfn = e & ((uint64_t(1) << 55) - 1))) n = -1;
        else if (::pread(kf, &flags, 8, off_t(pfn * 8)) != 8) n = -1;
        else if (flags & (uint64_t(3) << 15)) ++n;  // the head or a tail of a compound page
      }
      ::munmap(const_cast<uint8_t*>(m), len);
    }
  }
  for (int d : {fd, pm, kf})
    if (d >= 0) ::close(d);
  return n;
}

// A reorganised data file comes into the page cache a page at a time, as
// writers' stores bring pages in: a store into one page must dirty that page
// alone, not a large unit around it.
TEST(BrfAnal, AReorganisedFileIsCachedAPageAtATime) {
  BrfTempDir d;
  std::string p = d.file("UNITS");
  auto recs = brf_build_mixed(p, 3, 8000, {false, 500, 5});
  ASSERT_EQ(brf_reorganise(p), 0u) << brf_error();
  int large = pages_in_large_units(p);
  if (large < 0) GTEST_SKIP() << "the system's page flags cannot be read here";
  EXPECT_EQ(large, 0);
  std::string err;
  EXPECT_TRUE(read_back(p, recs, &err)) << err;
}

// A reorganisation whose new data file cannot grow (no room: here a file
// size limit one byte short of it) fails with an ordinary error before it
// stores into that file's mapping, and leaves the file as it was and nothing
// beside it; with room for exactly the new file it succeeds.
TEST(BrfAnal, AReorganisationWithoutRoomForItsNewFileFailsAndChangesNothing) {
  BrfTempDir d;
  std::string p = d.file("ROOM");
  auto recs = brf_build_mixed(p, 5, 3000, {true, 570, 5});
  BrfReorganised once;
  ASSERT_EQ(brf_reorganise(p, &once), 0u) << brf_error();
  ASSERT_GT(std::filesystem::file_size(p), std::filesystem::file_size(brf_index_path(p)));
  for (uint64_t limit : {once.size_after - 1, once.size_after}) {
    SCOPED_TRACE(limit);
    pid_t pid = fork();
    if (pid == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit r{limit, limit};
      if (::setrlimit(RLIMIT_FSIZE, &r) != 0) _exit(3);
      uint32_t st = brf_reorganise(p);
      _exit(st == 0 ? 0 : std::string(brf_error()).find(std::strerror(EFBIG)) != std::string::npos ? 1 : 2);
    }
    int ws = 0;
    ASSERT_EQ(waitpid(pid, &ws, 0), pid);
    ASSERT_TRUE(WIFEXITED(ws)) << "ended by signal " << WTERMSIG(ws);
    EXPECT_EQ(WEXITSTATUS(ws), limit < once.size_after ? 1 : 0);
    std::string err;
    EXPECT_TRUE(read_back(p, recs, &err)) << err;
    EXPECT_FALSE(std::filesystem::exists(brf_reorg_path(p)));
    EXPECT_FALSE(std::filesystem::exists(brf_index_path(p) + ".rg"));
  }
}

// A reorganisation's and a rebuild's new files are written through
// mappings, where a store past a file's end faults: while they are written
// no one else may open them for writing (to cut one short); complete, they
// are the group's, as every data file is.
TEST(BrfAnal, NewFilesArePrivateUntilComplete) {
  for (bool rebuild : {false, true}) {
    SCOPED_TRACE(rebuild ? "rebuild" : "reorganisation");
    BrfTempDir d;
    static std::string p, fresh;  // the data file, and the new file looked at
    p = d.file("PRIV");
    fresh = rebuild ? brf_index_path(p) + ".rb" : brf_reorg_path(p);
    auto recs = brf_build_mixed(p, 6, 500, {});
    static std::vector<int> while_written, when_placed;  // the files' modes
    while_written.clear();
    when_placed.clear();
    uio_set_sync_mode(1);
    uio_set_trace([](UioStep step, int fd, const char* from, const char*) {
      struct stat st, rg;
      bool writing = ::lstat(fresh.c_str(), &rg) == 0;
      if (step == UioStep::Sync && writing && ::fstat(fd, &st) == 0)
        while_written.insert(while_written.end(), {int(st.st_mode & 0777), int(rg.st_mode & 0777)});
      if (step == UioStep::Rename && writing && fresh == from) when_placed.push_back(int(rg.st_mode & 0777));
      return 0;
    });
    uint32_t st = rebuild ? brfanal_rebuild(p, nullptr) : brf_reorganise(p);
    uio_set_trace(nullptr);
    uio_set_sync_mode(-1);
    ASSERT_EQ(st, 0u) << brf_error();
    // (The synced file and the new file at each sync: the first, of the new
    // index as it is made; the last, when everything is written.)
    ASSERT_GE(while_written.size(), 4u);
    EXPECT_EQ(std::vector<int>(while_written.begin(), while_written.begin() + 2), std::vector<int>({0600, 0600}));
    EXPECT_EQ(std::vector<int>(while_written.end() - 2, while_written.end()),
              std::vector<int>({kUioFileMode, kUioFileMode}));
    EXPECT_EQ(when_placed, std::vector<int>{kUioFileMode});
    for (const std::string& f : {p, brf_index_path(p), brf_journal_path(p)})
      EXPECT_EQ(std::filesystem::status(f).permissions(), std::filesystem::perms(kUioFileMode)) << f;
    std::string err;
    EXPECT_TRUE(read_back(p, recs, &err)) << err;
  }
}

// A file another member of the group puts under the new index's name while
// it is made (after its exclusive creation; a copy of it, as made so far)
// is never written through nor put in place: the rebuild or reorganisation
// refuses to place its own, the old file as it was.
TEST(BrfAnal, AFilePlantedUnderANewIndexsNameIsNeverWrittenThrough) {
  for (bool rebuild : {false, true}) {
    SCOPED_TRACE(rebuild ? "rebuild" : "reorganisation");
    BrfTempDir d;
    static std::string fresh, copy;
    static int planted;
    std::string p = d.file("PLANT");
    fresh = brf_index_path(p) + (rebuild ? ".rb" : ".rg");
    planted = -1;
    auto recs = brf_build_mixed(p, 6, 300, {});
    struct stat before;
    ASSERT_EQ(::stat(brf_index_path(p).c_str(), &before), 0);
    uio_set_sync_mode(1);
    // At the new index's first sync (its making), the name is taken over.
    uio_set_trace([](UioStep step, int fd, const char*, const char*) {
      struct stat a, b;
      if (planted < 0 && step == UioStep::Sync && ::fstat(fd, &a) == 0 && ::lstat(fresh.c_str(), &b) == 0 &&
          a.st_ino == b.st_ino) {
        copy.assign(size_t(a.st_size), '\0');
        if (::pread(fd, copy.data(), copy.size(), 0) != ssize_t(copy.size())) return 0;
        ::unlink(fresh.c_str());
        planted = ::open(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
        if (planted >= 0 && ::write(planted, copy.data(), copy.size()) != ssize_t(copy.size())) planted = -2;
      }
      return 0;
    });
    uint32_t st = rebuild ? brfanal_rebuild(p, nullptr) : brf_reorganise(p);
    uio_set_trace(nullptr);
    uio_set_sync_mode(-1);
    ASSERT_GE(planted, 0);
    EXPECT_NE(st, 0u);
    struct stat pst, now;
    ASSERT_EQ(::fstat(planted, &pst), 0);
    std::string back(size_t(pst.st_size), '\0');
    EXPECT_EQ(::pread(planted, back.data(), back.size(), 0), ssize_t(copy.size()));
    EXPECT_TRUE(back == copy) << "the planted file was written through";
    ASSERT_EQ(::stat(brf_index_path(p).c_str(), &now), 0);
    EXPECT_NE(now.st_ino, pst.st_ino);
    EXPECT_EQ(now.st_ino, before.st_ino);
    ::close(planted);
    std::string err;
    EXPECT_TRUE(read_back(p, recs, &err)) << err;
  }
}

// A data file whose reserved tail became a hole (as a copy can make it):
// a writer reserves the blocks it stores into next before it stores (a
// store through the mapping into a hole faults when the disk is full, where
// a write says ENOSPC): a step past the records' end is allocated, not only
// the pages stored into.
TEST(BrfAnal, AWriterReservesWhatItStoresIntoInAFileLengthenedWithHoles) {
  BrfTempDir d;
  std::string p = d.file("HOLES");
  brf_build_mixed(p, 5, 200, {true, 570, 5});
  auto records_end = [&] {
    BrfFileHdr h;
    int fd = ::open(p.c_str(), O_RDONLY);
    bool ok = ::pread(fd, &h, sizeof h, 0) == ssize_t(sizeof h);
    ::close(fd);
    return ok ? uint64_t(h.end.get()) + kBrfSlotHdr : 0;
  };
  uint64_t end = records_end();
  ASSERT_EQ(::truncate(p.c_str(), off_t(end)), 0);
  ASSERT_EQ(::truncate(p.c_str(), off_t(end + (32 << 20))), 0);
  BrfFile* f;
  ASSERT_EQ(brf_open(p, false, &f), 0u) << brf_error();
  for (int i = 0; i < 100; ++i) {  // some 50 KB
    BrfBytes r(500);
    brf_make_rec(r.data(), r.size(), uint32_t(100000 + i), 1, uint32_t(i));
    uint32_t rid;
    ASSERT_EQ(brf_insert(f, r.data(), uint32_t(r.size()), &rid), 0u) << brf_error();
  }
  brf_close(f, false);
  struct stat st;
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_GE(uint64_t(st.st_blocks) * 512, records_end() + (512 << 10));
}

// A freshly bootstrapped data directory verifies clean as a whole; its
// single-record files are named as such.
TEST(BrfAnal, AFreshlyBootstrappedDirectoryVerifiesClean) {
  TempDir t;
  std::string dir = t.str();
  // The system applications as the build generates them.
  std::string boot = (std::filesystem::path(QUVO_BINARY).parent_path() / "boot").string();
  ASSERT_TRUE(ended(run_quvo({"-b"}, {"QUVOPATH=" + dir, "QUVO_BOOT_SRC=" + boot}), 0));
  QuvoRun r = run_quvo({"-fv", dir}, {});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(dir + "/data/0SA00/SYSPARM: a single-record file, not a native file: nothing to verify\n"),
            std::string::npos)
      << r.out;
  std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
  EXPECT_TRUE(last.starts_with(dir + ": ") && last.ends_with(" native files verified, all sound\n")) << last;
  EXPECT_EQ(r.out.find("NOT SOUND"), std::string::npos) << r.out;
  r = run_quvo({"-fa", dir + "/data/0SA00/SYSPARM"}, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, dir + "/data/0SA00/SYSPARM: a single-record file, not a native file: nothing to analyse\n"
                         "exit status 0: every file is sound\n");
}

// A user who may not read a directory (an outsider to a data directory's
// group) is told so: neither "no native files below it" with exit status 0
// nor "no such file" for a file that is there.
TEST(BrfAnal, WhatThisUserMayNotReadIsNamedNeverSound) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  BrfTempDir d;
  ASSERT_EQ(chmod(d.path.c_str(), 0755), 0);
  const std::string locked = d.file("locked"), open_dir = d.file("open");
  small_file(locked + "/A", 2);
  small_file(open_dir + "/B", 2);
  ASSERT_EQ(chmod(locked.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open_dir.c_str(), 0755), 0);
  const std::vector<std::string> outsider{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  QuvoRun r = run_quvo({"-fv", locked}, {}, outsider);
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_EQ(r.out, locked + ": Permission denied (the files below it are not checked)\n");
  r = run_quvo({"-fv", d.path}, {}, outsider);
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find(locked + ": Permission denied (the files below it are not checked)\n"), std::string::npos)
      << r.out;
  r = run_quvo({"-fv", locked + "/A"}, {}, outsider);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, locked + "/A: Permission denied\n");
  r = run_quvo({"-fr", locked + "/A"}, {}, outsider);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, locked + "/A: Permission denied\n");
}

// Fixed-length records: deleted slots go onto the free chain and are taken
// back last freed first; slots in the free-space tree (as files written
// before the chain keep them, and as a rebuild leaves them) are taken after
// the chain's; a chain that is broken is found by verify, refused by an
// insert and mended by the rebuild, every record kept.
TEST(BrfAnal, FixedRecordsReuseTheirFreeChain) {
  BrfTempDir d;
  std::string p = d.file("CHAIN");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_test_layout(100), false, &f), 0u);
  uint8_t rec[100];
  std::vector<uint32_t> rid(12);
  std::map<uint32_t, uint32_t> live;  // rid -> id of its record
  auto put = [&](uint32_t id) {
    brf_make_rec(rec, sizeof rec, id, id % 3);
    uint32_t r = 0;
    EXPECT_EQ(brf_insert(f, rec, sizeof rec, &r), 0u) << brf_error();
    live[r] = id;
    return r;
  };
  auto del = [&](uint32_t r) {
    ASSERT_EQ(brf_remove(f, r), 0u) << brf_error();
    live.erase(r);
  };
  auto sound = [&](uint32_t free_slots, uint32_t in_tree) {
    BrfCheck c;
    ASSERT_EQ(brfanal_verify(p, &c), 0u);
    EXPECT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
    EXPECT_EQ(c.free_slots, free_slots);
    EXPECT_EQ(bt_hdr(f->st).trees[kBtFreeTree].entries.get(), in_tree);
    BrfReader rd;
    for (auto& [r, id] : live) {
      brf_make_rec(rec, sizeof rec, id, id % 3);
      ASSERT_EQ(brf_read_rid(f, r, rd.r), 0u);
      EXPECT_EQ(rd.rec(), std::vector<uint8_t>(rec, rec + sizeof rec));
    }
  };
  for (uint32_t i = 0; i < 12; ++i) rid[i] = put(i);
  del(rid[2]);
  del(rid[5]);
  del(rid[7]);
  del(rid[11]);  // the last slot: the records end before it
  EXPECT_EQ(brf_counts(f).end, rid[11]);
  EXPECT_EQ(brf_counts(f).dead, 3u);
  EXPECT_EQ(brf_counts(f).free_bytes, 300u);
  sound(3, 0);
  EXPECT_EQ(put(100), rid[7]);
  EXPECT_EQ(put(101), rid[5]);
  EXPECT_EQ(put(102), rid[2]);
  EXPECT_EQ(put(103), rid[11]);  // the chain is empty: new room at the end
  sound(0, 0);

  // Three slots freed, then a rebuild: they are in the tree, as in older files.
  del(rid[1]);
  del(rid[4]);
  del(rid[9]);
  brf_close(f, false);
  ASSERT_EQ(brfanal_rebuild(p, nullptr), 0u) << brf_error();
  ASSERT_EQ(brf_open(p, false, &f), 0u);
  EXPECT_EQ(rec::view<BrfFileHdr>(f->st.dmap).free_chain.get(), 0u);
  sound(3, 3);
  del(rid[3]);
  del(rid[8]);
  sound(5, 3);
  EXPECT_EQ(put(104), rid[8]);
  EXPECT_EQ(put(105), rid[3]);
  EXPECT_EQ(put(106), rid[1]);  // then the tree, best fit, lowest place first
  EXPECT_EQ(put(107), rid[4]);
  sound(1, 1);

  // Broken chains. Each is found by verify (an insert refuses a chain that
  // names no free slot), and the rebuild mends it.
  del(rid[0]);
  del(rid[6]);
  sound(3, 1);
  brf_close(f, false);
  const Bytes good = brf_slurp(p), good_ix = brf_slurp(brf_index_path(p)), good_jn = brf_slurp(brf_journal_path(p));
  auto link_of = [](Bytes& b, uint32_t at) -> rec::U32& { return rec::view<BrfSlotHdr>(b.data() + at).seq; };
  auto set_head = [](Bytes& b, uint32_t at) {
    auto& h = rec::view<BrfFileHdr>(b.data());
    h.free_chain = at;
    h.sum = brf_hdr_sum(h);
  };
  const struct {
    const char* what;
    bool refused;
    std::function<void(Bytes&)> harm;
  } cases[] = {
      {"comes back", false, [&](Bytes& b) { link_of(b, rid[0]) = rid[6]; }},
      {"leads to", true, [&](Bytes& b) { set_head(b, rid[3]); }},  // a live record
      {"not on the free chain", false, [&](Bytes& b) { set_head(b, rid[0]); }},
      {"not on the free chain", false, [&](Bytes& b) { set_head(b, 0); }},
      {"names no free slot", false, [&](Bytes& b) {  // on the chain and in the tree
         link_of(b, rid[0]) = rid[9];
         link_of(b, rid[9]) = kBrfChainEnd;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b = good;
    c.harm(b);
    brf_spit(p, b);
    brf_spit(brf_index_path(p), good_ix);
    brf_spit(brf_journal_path(p), good_jn);
    BrfCheck chk;
    ASSERT_EQ(brfanal_verify(p, &chk), 0u);
    EXPECT_FALSE(chk.sound());
    EXPECT_NE(::testing::PrintToString(chk.problems).find(c.what), std::string::npos)
        << ::testing::PrintToString(chk.problems);
    if (c.refused) {
      ASSERT_EQ(brf_open(p, false, &f), 0u);
      uint32_t r;
      brf_make_rec(rec, sizeof rec, 200, 0);
      EXPECT_EQ(brf_insert(f, rec, sizeof rec, &r), FM_ST_SYS);
      EXPECT_NE(brf_error().find("damaged"), std::string::npos) << brf_error();
      brf_close(f, false);
    }
    ASSERT_EQ(brfanal_rebuild(p, nullptr), 0u) << brf_error();
    ASSERT_EQ(brf_open(p, false, &f), 0u);
    sound(3, 3);
    brf_close(f, false);
  }
}

// A chain that names a place between the slots, inside a live record whose
// bytes look like a free slot's header (a record's bytes are the user's), in
// the file header, past the records or anywhere, is refused: the record is
// never overwritten. A slot's own place (the slot freed last) is taken.
TEST(BrfAnal, AFreeChainIntoARecordsBytesIsRefused) {
  BrfTempDir d;
  std::string p = d.file("CHAIN");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_test_layout(100), false, &f), 0u);
  uint8_t rec[100], back[100];
  uint32_t rid[4];
  const uint32_t mimic = 40;  // in the record's bytes: state 1, length 100, link "end"
  for (uint32_t i = 0; i < 4; ++i) {
    brf_make_rec(rec, sizeof rec, i, 0);
    auto& h = rec::view<BrfSlotHdr>(rec + mimic);
    h.state = kBrfFree;
    h.len = 100;
    h.seq = kBrfChainEnd;
    if (i == 0) std::memcpy(back, rec, sizeof rec);
    ASSERT_EQ(brf_insert(f, rec, sizeof rec, &rid[i]), 0u) << brf_error();
  }
  ASSERT_EQ(brf_remove(f, rid[2]), 0u);
  brf_close(f, false);
  const Bytes good = brf_slurp(p), good_ix = brf_slurp(brf_index_path(p));
  const uint32_t past = rid[3] + kBrfSlotOver + 100;  // where the records end
  for (uint32_t at : {rid[0] + uint32_t(sizeof(BrfSlotHdr)) + mimic, rid[2] + 1, 100u, past, ~0u, rid[2]}) {
    SCOPED_TRACE(at);
    Bytes b = good;
    auto& h = rec::view<BrfFileHdr>(b.data());
    h.free_chain = at;
    h.sum = brf_hdr_sum(h);
    brf_spit(p, b);
    brf_spit(brf_index_path(p), good_ix);
    ASSERT_EQ(brf_open(p, false, &f), 0u);
    brf_make_rec(rec, sizeof rec, 9, 0);
    uint32_t r = 0;
    EXPECT_EQ(brf_insert(f, rec, sizeof rec, &r), at == rid[2] ? 0u : FM_ST_SYS) << brf_error();
    EXPECT_EQ(r, at == rid[2] ? rid[2] : 0u);
    BrfReader rd;
    ASSERT_EQ(brf_read_rid(f, rid[0], rd.r), 0u);
    EXPECT_EQ(rd.rec(), std::vector<uint8_t>(back, back + sizeof back));
    brf_close(f, false);
  }
}

// The data file cut short, its header made to agree: the index's entries of
// the records past the cut lead outside the file. Reads and walks in key
// order, with their read-ahead, refuse those records and read nothing
// outside the file; a cut at the records' end loses nothing.
TEST(BrfAnal, EntriesPastTheDataFilesEndAreNeverRead) {
  BrfTempDir d;
  std::string p = d.file("CUT");
  auto recs = build(p, 5, 400);
  const Bytes data0 = brf_slurp(p), index0 = brf_slurp(brf_index_path(p));
  const uint32_t end = rec::view<BrfFileHdr>(data0.data()).end.get();
  // A page's end inside a slot past the middle: the rest of the slot is in
  // no page of the file.
  uint32_t inside = kBrfHdrSize;
  for (uint32_t next; (next = inside + kBrfSlotOver + rec::view<BrfSlotHdr>(data0.data() + inside).len.get()) < end &&
                      (inside < end / 2 || inside / kBtPage == (next - 1) / kBtPage);)
    inside = next;
  for (uint32_t cut : {end, end - 1, (inside / kBtPage + 1) * kBtPage}) {
    SCOPED_TRACE(cut);
    Bytes b(data0.begin(), data0.begin() + cut);
    auto& h = rec::view<BrfFileHdr>(b.data());
    h.end = cut;
    h.sum = brf_hdr_sum(h);
    brf_spit(p, b);
    brf_spit(brf_index_path(p), index0);
    std::string err;
    EXPECT_EQ(read_back(p, recs, &err), cut == end) << err;
  }
}

// Slots whose headers hold but which are not the record their id or key
// names: a record of another length in a file of fixed-length records (its
// check sum sound), a home slot that points at another live record. Reads
// answer damage, never those bytes; a rewrite through the home slot changes
// nothing; an id inside a record's bytes that look like a slot header names
// no record.
TEST(BrfAnal, ASlotThatIsNotTheRecordItsIdNamesIsNeverRead) {
  BrfTempDir d;
  uint8_t rec[400];
  BrfReader rd;
  BrfFile* f;
  {
    std::string p = d.file("FIXED");
    ASSERT_EQ(brf_create(p, brf_test_layout(100), false, &f), 0u);
    uint32_t rid[3];
    for (uint32_t i = 0; i < 3; ++i) {
      brf_make_rec(rec, 100, i, 0);
      ASSERT_EQ(brf_insert(f, rec, 100, &rid[i]), 0u);
    }
    brf_close(f, false);
    // The last slot 60 bytes long, its trailer and the header's end to match.
    Bytes b = brf_slurp(p);
    rec::view<BrfSlotHdr>(b.data() + rid[2]).len = 60;
    rec::view<rec::U32>(b.data() + rid[2] + kBrfSlotHdr + 60) = brf_slot_sum(b.data() + rid[2], 60);
    auto& h = rec::view<BrfFileHdr>(b.data());
    h.end = rid[2] + kBrfSlotOver + 60;
    h.sum = brf_hdr_sum(h);
    brf_spit(p, b);
    ASSERT_EQ(brf_open(p, false, &f), 0u);
    EXPECT_EQ(rd.seek(f, 0, rec, 20), FM_ST_SYS);  // rec: record 2's
    brf_close(f, false);
    BrfCheck c;
    ASSERT_EQ(brfanal_verify(p, &c), 0u);
    EXPECT_FALSE(c.sound());
    BrfRebuilt r;
    ASSERT_EQ(brfanal_rebuild(p, nullptr, &r), 0u) << brf_error();
    EXPECT_EQ(r.records, 2u);
    EXPECT_EQ(r.left_ranges, 1u);
  }
  std::string p = d.file("VAR");
  ASSERT_EQ(brf_create(p, brf_test_layout(600, true), false, &f), 0u);
  uint32_t rid[3];
  Bytes one;
  const uint32_t mimic = 40;  // in record 1's bytes: a live slot header of 10 bytes
  for (uint32_t i = 0; i < 3; ++i) {
    brf_make_rec(rec, 100, i, 0);
    if (i == 1) {
      auto& h = rec::view<BrfSlotHdr>(rec + mimic);
      h.state = kBrfLive;
      h.spare = 0;
      h.short_len = 0;
      h.len = 10;
      one.assign(rec, rec + 100);
    }
    ASSERT_EQ(brf_insert(f, rec, 100, &rid[i]), 0u);
  }
  brf_make_rec(rec, 400, 0, 0);
  ASSERT_EQ(brf_update(f, rid[0], rec, 400), 0u);  // moves past record 2
  brf_close(f, false);
  Bytes b = brf_slurp(p);
  ASSERT_EQ(b[rid[0]], kBrfHome);
  rec::view<BrfSlotHdr>(b.data() + rid[0]).seq = rid[1];
  brf_spit(p, b);
  ASSERT_EQ(brf_open(p, false, &f), 0u);
  EXPECT_EQ(rd.seek(f, 0, rec, 20), FM_ST_SYS);  // record 0's key
  EXPECT_EQ(brf_update(f, rid[0], rec, 100), FM_ST_SYS);
  ASSERT_EQ(brf_read_rid(f, rid[1], rd.r), 0u);
  EXPECT_EQ(rd.rec(), one);
  EXPECT_EQ(brf_read_rid(f, rid[1] + kBrfSlotHdr + mimic, rd.r), FM_ST_NO_RECORD);
  brf_close(f, false);
}

// The free-space tree is read from the index file, which others may write:
// an entry whose room is larger than the free slot at its place, or whose
// place lies in the file header where the key descriptors read as a free
// slot of its room, is refused; no record and no byte of the header is
// written over.
TEST(BrfAnal, AFreeSpaceEntryThatNamesNoFreeSlotIsRefused) {
  BrfTempDir d;
  std::string p = d.file("FREE");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_test_layout(600, true), false, &f), 0u);
  uint8_t rec[200];
  uint32_t rid[3];
  for (uint32_t i = 0; i < 3; ++i) {
    brf_make_rec(rec, sizeof rec, i, 0);
    ASSERT_EQ(brf_insert(f, rec, sizeof rec, &rid[i]), 0u);
  }
  ASSERT_EQ(brf_remove(f, rid[1]), 0u);  // a free slot of 200 bytes in the tree
  brf_close(f, false);
  const Bytes good = brf_slurp(p), good_ix = brf_slurp(brf_index_path(p));
  const uint32_t end = rec::view<BrfFileHdr>(good.data()).end.get();
  // Keys 0 and 1 of the test layout read at 67 as a free slot of one byte.
  const uint32_t in_hdr = offsetof(BrfFileHdr, keys) + 3;
  ASSERT_EQ(good[in_hdr], kBrfFree);
  ASSERT_EQ(rec::view<BrfSlotHdr>(good.data() + in_hdr).len.get(), 1u);
  auto key = [](uint32_t cap, uint32_t off, uint8_t* k) {
    for (int i = 0; i < 4; ++i) k[i] = uint8_t(cap >> (24 - 8 * i)), k[4 + i] = uint8_t(off >> (24 - 8 * i));
  };
  const struct {
    uint32_t cap, off, len;
    bool drop;  // the slot's own entry goes
  } cases[] = {{400, rid[1], 200, true}, {1, in_hdr, 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.off);
    brf_spit(p, good);
    brf_spit(brf_index_path(p), good_ix);
    ASSERT_EQ(brf_open(p, false, &f), 0u);
    uint8_t k[8];
    ASSERT_EQ(bt_begin(f->st), kBtOk);
    key(200, rid[1], k);
    if (c.drop) {
      ASSERT_EQ(bt_erase(f->st, kBtFreeTree, k, nullptr), kBtOk);
    }
    key(c.cap, c.off, k);
    ASSERT_EQ(bt_insert(f->st, kBtFreeTree, k, c.off), kBtOk);
    ASSERT_EQ(bt_commit(f->st), kBtOk);
    brf_make_rec(rec, sizeof rec, 9, 0);
    uint32_t r = 0;
    EXPECT_EQ(brf_insert(f, rec, c.len, &r), FM_ST_SYS);
    brf_close(f, false);
    Bytes now = brf_slurp(p);
    ASSERT_GE(now.size(), size_t(end));
    EXPECT_TRUE(std::equal(good.begin(), good.begin() + end, now.begin()));
  }
}

// A data file header changed without its check sum while this user had the
// file open: the next change refuses, and never sums the header anew over
// the damage. An index whose tree does not fit the keys (its header summed
// anew) is refused at open.
TEST(BrfAnal, AChangeRefusesAHeaderDamagedWhileOpen) {
  BrfTempDir d;
  std::string p = d.file("UNDER");
  build(p, 6, 100);
  const Bytes good = brf_slurp(p);
  uint8_t rec[100];
  brf_make_rec(rec, sizeof rec, 1000, 0);
  BrfFile* f;
  ASSERT_EQ(brf_open(p, false, &f), 0u);
  int fd = ::open(p.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const uint8_t len[2] = {100, 0};  // the record length
  ASSERT_EQ(::pwrite(fd, len, 2, offsetof(BrfFileHdr, rec_len)), 2);
  ::close(fd);
  uint32_t rid;
  EXPECT_EQ(brf_insert(f, rec, sizeof rec, &rid), FM_ST_SYS);
  brf_close(f, false);
  EXPECT_EQ(brf_open(p, false, &f), FM_ST_SYS);
  brf_spit(p, good);
  ASSERT_EQ(brf_open(p, false, &f), 0u);
  ASSERT_EQ(bt_begin(f->st), kBtOk);
  bt_hdr(f->st).trees[0].key_len = 19;
  ASSERT_EQ(bt_commit(f->st), kBtOk);
  brf_close(f, false);
  EXPECT_EQ(brf_open(p, false, &f), FM_ST_SYS);
  EXPECT_NE(brf_error().find("keys"), std::string::npos) << brf_error();
}

// The data file cut short by another user while this one has it open: a
// change refuses, a read answers the record as written or damage, never a
// fault; once the file is whole again, so are reads and changes.
TEST(BrfAnal, AFileCutShortWhileOpenIsDamageNeverAFault) {
  BrfTempDir d;
  std::string p = d.file("CUT");
  const auto recs = build(p, 6, 100);
  const Bytes good = brf_slurp(p);
  const uint32_t end = rec::view<BrfFileHdr>(good.data()).end.get();
  BrfFile* f;
  ASSERT_EQ(brf_open(p, false, &f), 0u);
  ASSERT_EQ(::truncate(p.c_str(), end / 2), 0);
  uint8_t rec[100];
  brf_make_rec(rec, sizeof rec, 1000, 0);
  uint32_t rid;
  EXPECT_EQ(brf_insert(f, rec, sizeof rec, &rid), FM_ST_SYS);
  EXPECT_NE(brf_error().find("cut short"), std::string::npos) << brf_error();
  BrfReader rd;
  for (auto& [k, r] : recs) {
    uint32_t st = rd.seek(f, 0, k.data(), 20);
    EXPECT_TRUE(st == FM_ST_SYS || (st == 0 && rd.rec() == r)) << st;
  }
  brf_spit(p, good);
  for (auto& [k, r] : recs) {
    ASSERT_EQ(rd.seek(f, 0, k.data(), 20), 0u) << brf_error();
    EXPECT_EQ(rd.rec(), r);
  }
  EXPECT_EQ(brf_insert(f, rec, sizeof rec, &rid), 0u) << brf_error();
  EXPECT_EQ(brf_counts(f).live, recs.size() + 1);
  brf_close(f, false);
}

// The room an index file keeps past its last page, cut away by another
// user: the change that meets the cut answers damage, the next makes the
// room again, and so do the changes after it; every record is kept.
TEST(BrfAnal, AnIndexsRoomCutAwayIsMadeAgain) {
  BrfTempDir d;
  std::string p = d.file("ROOM");
  const auto recs = build(p, 6, 100);
  BrfFile* f;
  ASSERT_EQ(brf_open(p, false, &f), 0u);
  // This process makes room first (a new page), then it is cut away.
  uint8_t rec[100];
  uint32_t rid, failed = 0, n = 0;
  const uint32_t pages = bt_hdr(f->st).page_count.get();
  for (; bt_hdr(f->st).page_count.get() == pages; ++n) {
    brf_make_rec(rec, sizeof rec, 10000 + n, n % 3);
    ASSERT_EQ(brf_insert(f, rec, sizeof rec, &rid), 0u) << brf_error();
  }
  const uint64_t used = uint64_t(bt_hdr(f->st).page_count.get()) * kBtPage;
  ASSERT_LT(used, f->st.isize) << "no room kept past the last page";
  ASSERT_EQ(::truncate(brf_index_path(p).c_str(), off_t(used)), 0);
  for (; n < 3000; ++n) {
    brf_make_rec(rec, sizeof rec, 10000 + n, n % 3);
    if (brf_insert(f, rec, sizeof rec, &rid) != 0) ++failed;
  }
  EXPECT_LE(failed, 1u) << "the room is made again after the cut was met";
  EXPECT_EQ(brf_counts(f).live, recs.size() + n - failed);
  brf_close(f, false);
  BrfCheck c;
  ASSERT_EQ(brfanal_verify(p, &c), 0u);
  EXPECT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
}

// Two home slots that point at one moved record (the second a record whose
// header was damaged so): the rebuild keeps the record under the first and
// leaves the second out, its bytes in the side file.
TEST(BrfAnal, ARebuildKeepsAMovedRecordUnderOneHomeSlot) {
  BrfTempDir d;
  std::string p = d.file("HOMES");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_test_layout(600, true), false, &f), 0u);
  uint8_t rec[400];
  uint32_t rid[3];
  for (uint32_t i = 0; i < 3; ++i) {
    brf_make_rec(rec, 100, i, 0);
    ASSERT_EQ(brf_insert(f, rec, 100, &rid[i]), 0u);
  }
  brf_make_rec(rec, 400, 0, 0);
  ASSERT_EQ(brf_update(f, rid[0], rec, 400), 0u);
  brf_close(f, false);
  Bytes b = brf_slurp(p);
  auto& home = rec::view<BrfSlotHdr>(b.data() + rid[1]);
  home.state = kBrfHome;
  home.seq = rec::view<BrfSlotHdr>(b.data() + rid[0]).seq.get();
  brf_spit(p, b);
  BrfRebuilt r;
  ASSERT_EQ(brfanal_rebuild(p, nullptr, &r), 0u) << brf_error();
  EXPECT_EQ(r.records, 2u);
  EXPECT_EQ(r.left_ranges, 1u);
  ASSERT_EQ(brf_open(p, false, &f), 0u);
  BrfReader rd;
  EXPECT_EQ(rd.seek(f, 0, rec, 20), 0u);
  EXPECT_EQ(rd.rec(), Bytes(rec, rec + 400));
  brf_close(f, false);
  BrfCheck c;
  ASSERT_EQ(brfanal_verify(p, &c), 0u);
  EXPECT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
}

// Bytes between two slots that hold no slot: a range too short for a free
// slot of its own (16 bytes at most) takes the record after it along, which
// moves to the end; one byte more makes a free slot of its own. Every record
// is kept, and the file verifies sound.
TEST(BrfAnal, ARebuildMakesFreeSpaceOfBytesBetweenSlots) {
  for (uint32_t n : {15u, 16u, 17u}) {
    SCOPED_TRACE(n);
    BrfTempDir d;
    std::string p = d.file("GAP");
    BrfFile* f;
    ASSERT_EQ(brf_create(p, brf_test_layout(600, true), false, &f), 0u);
    std::map<std::string, Bytes> recs;
    uint32_t rid[3];
    for (uint32_t i = 0; i < 3; ++i) {
      Bytes rec(100);
      brf_make_rec(rec.data(), rec.size(), i, 0);
      ASSERT_EQ(brf_insert(f, rec.data(), 100, &rid[i]), 0u);
      recs[std::string(rec.begin(), rec.begin() + 20)] = rec;
    }
    brf_close(f, false);
    Bytes b = brf_slurp(p);
    b.insert(b.begin() + rid[1], n, 0xEE);
    auto& h = rec::view<BrfFileHdr>(b.data());
    h.end = h.end.get() + n;
    h.sum = brf_hdr_sum(h);
    brf_spit(p, b);
    BrfRebuilt r;
    ASSERT_EQ(brfanal_rebuild(p, nullptr, &r), 0u) << brf_error();
    EXPECT_EQ(r.records, 3u);
    EXPECT_EQ(r.left_bytes, n);
    BrfCheck c;
    ASSERT_EQ(brfanal_verify(p, &c), 0u);
    EXPECT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
    std::string err;
    EXPECT_TRUE(read_back(p, recs, &err)) << err;
  }
}

// Header counts that disagree with the records (the header summed anew):
// verify names each, and the rebuild sets them from the records, its next
// write sequence past every record's.
TEST(BrfAnal, VerifyFindsHeaderCountsThatDisagreeAndTheRebuildSetsThem) {
  BrfTempDir d;
  std::string p = d.file("COUNTS");
  build(p, 7, 60);
  const Bytes good = brf_slurp(p), good_ix = brf_slurp(brf_index_path(p));
  uint32_t top = 0;  // the highest write sequence of a record
  for (uint32_t pos = kBrfHdrSize; pos < rec::view<BrfFileHdr>(good.data()).end.get();) {
    const auto& s = rec::view<BrfSlotHdr>(good.data() + pos);
    if (brf_is_live(s.state.get())) top = std::max(top, s.seq.get());
    pos += kBrfSlotOver + s.len.get();
  }
  const struct {
    const char* what;
    std::function<void(BrfFileHdr&)> harm;
  } cases[] = {
      {"live records", [](BrfFileHdr& h) { h.live = h.live.get() + 1; }},
      {"free bytes", [](BrfFileHdr& h) { h.free_bytes = h.free_bytes.get() + 1; }},
      {"sequence beyond", [&](BrfFileHdr& h) { h.next_seq = top; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b = good;
    auto& h = rec::view<BrfFileHdr>(b.data());
    c.harm(h);
    h.sum = brf_hdr_sum(h);
    brf_spit(p, b);
    brf_spit(brf_index_path(p), good_ix);
    BrfCheck chk;
    ASSERT_EQ(brfanal_verify(p, &chk), 0u);
    EXPECT_NE(::testing::PrintToString(chk.problems).find(c.what), std::string::npos)
        << ::testing::PrintToString(chk.problems);
    ASSERT_EQ(brfanal_rebuild(p, nullptr), 0u) << brf_error();
    ASSERT_EQ(brfanal_verify(p, &chk), 0u);
    EXPECT_TRUE(chk.sound()) << ::testing::PrintToString(chk.problems);
  }
}
