// Native record files: the data file, its index and their sharing, checked
// against std::map oracles.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "files/brf.h"
#include "files/brfanal.h"
#include "files/fm.h"
#include "files/brf_support.h"

namespace {

struct Opened {
  BrfFile* f = nullptr;
  bool excl = false;
  ~Opened() {
    if (f) brf_close(f, excl);
  }
};

std::vector<uint8_t> read_rid(BrfFile* f, uint32_t rid, uint32_t* status) {
  BrfReader rd;
  *status = brf_read_rid(f, rid, rd.r);
  return *status ? std::vector<uint8_t>() : rd.rec();
}

// Every record in key order of a tree: (normalized key bytes, rid).
std::vector<std::pair<std::string, uint32_t>> scan(BrfFile* f, int tree) {
  std::vector<std::pair<std::string, uint32_t>> out;
  BrfReader rd;
  EXPECT_EQ(rd.scan(f, tree,
                    [&](const BtCursor& c) {
                      out.emplace_back(std::string(reinterpret_cast<const char*>(c.key), f->key_len[tree]), rd.r.rid);
                      return true;
                    }),
            FM_ST_EOF);
  return out;
}

}  // namespace

TEST(Brf, CreateWriteReadReopen) {
  BrfTempDir d;
  std::string p = d.file("CUST");
  Opened o;
  ASSERT_EQ(brf_create(p, brf_test_layout(), false, &o.f), 0u) << brf_error();
  EXPECT_EQ(brf_create(p, brf_test_layout(), false, &o.f), FM_ST_EXISTS);
  std::vector<uint32_t> rids;
  uint8_t rec[200];
  for (uint32_t i = 0; i < 500; ++i) {
    brf_make_rec(rec, sizeof rec, i * 7 % 500, i % 13);
    uint32_t rid;
    ASSERT_EQ(brf_insert(o.f, rec, sizeof rec, &rid), 0u) << brf_error();
    rids.push_back(rid);
  }
  brf_make_rec(rec, sizeof rec, 7, 99);
  uint32_t rid;
  EXPECT_EQ(brf_insert(o.f, rec, sizeof rec, &rid), FM_ST_DUP_KEY);
  brf_close(o.f, false);
  o.f = nullptr;
  ASSERT_EQ(brf_open(p, false, &o.f), 0u) << brf_error();
  EXPECT_EQ(brf_counts(o.f).live, 500u);
  for (uint32_t i = 0; i < 500; ++i) {
    uint32_t st;
    auto got = read_rid(o.f, rids[i], &st);
    ASSERT_EQ(st, 0u);
    brf_make_rec(rec, sizeof rec, i * 7 % 500, i % 13);
    ASSERT_EQ(got, std::vector<uint8_t>(rec, rec + sizeof rec));
  }
  // Key order of the unique key, and the duplicates in write order.
  auto k0 = scan(o.f, 0);
  ASSERT_EQ(k0.size(), 500u);
  for (size_t i = 1; i < k0.size(); ++i) EXPECT_LT(k0[i - 1].first, k0[i].first);
  auto k1 = scan(o.f, 1);
  ASSERT_EQ(k1.size(), 500u);
  for (size_t i = 1; i < k1.size(); ++i) {
    EXPECT_LT(k1[i - 1].first, k1[i].first);
    if (k1[i - 1].first.substr(0, 4) == k1[i].first.substr(0, 4)) {
      EXPECT_LT(k1[i - 1].second, k1[i].second);
    }
  }
  uint32_t st;
  read_rid(o.f, 3, &st);
  EXPECT_EQ(st, FM_ST_NO_RECORD);
  read_rid(o.f, rids[0] + 1, &st);
  EXPECT_EQ(st, FM_ST_NO_RECORD);
}

TEST(Brf, ExclusiveAndSharedOpens) {
  BrfTempDir d;
  std::string p = d.file("EXCL");
  Opened a;
  ASSERT_EQ(brf_create(p, brf_test_layout(), true, &a.f), 0u);
  a.excl = true;
  BrfFile* b;
  EXPECT_EQ(brf_open(p, false, &b), FM_ST_BUSY);
  // Another process sees it busy too.
  pid_t pid = fork();
  if (pid == 0) {
    BrfFile* c;
    _exit(brf_open(p, false, &c) == FM_ST_BUSY ? 0 : 1);
  }
  int ws;
  waitpid(pid, &ws, 0);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
  EXPECT_EQ(brf_scratch(p), FM_ST_SCRATCH_OPEN);
  brf_close(a.f, true);
  a.f = nullptr;
  ASSERT_EQ(brf_open(p, false, &a.f), 0u);
  a.excl = false;
  EXPECT_EQ(brf_open(p, true, &b), FM_ST_BUSY);
  ASSERT_EQ(brf_open(p, false, &b), 0u);
  EXPECT_EQ(b, a.f);  // one descriptor per file and process
  brf_close(b, false);
  brf_close(a.f, false);
  a.f = nullptr;
  EXPECT_EQ(brf_open_files(), 0u);
  EXPECT_EQ(brf_scratch(p), 0u);
  EXPECT_FALSE(brf_exists(p));
  EXPECT_FALSE(brf_exists(brf_index_path(p)));
  EXPECT_EQ(brf_scratch(p), FM_ST_NOT_FOUND);
}

// Random writes, rewrites (changing lengths and keys) and deletes of
// variable-length records against a std::map oracle; the free space is
// reused and the record ids stay put.
TEST(Brf, RandomChangesMatchAnOracle) {
  BrfTempDir d;
  std::string p = d.file("VAR");
  Opened o;
  BrfLayout lay = brf_test_layout(3000, true);
  ASSERT_EQ(brf_create(p, lay, false, &o.f), 0u);
  std::mt19937 rng(12345);
  std::map<uint32_t, std::vector<uint8_t>> by_rid;       // rid -> record
  std::map<std::string, uint32_t> by_key;                // unique key -> rid
  auto make = [&](uint32_t id, uint32_t group) {
    uint32_t len = 24 + rng() % 2900;
    if (rng() % 4 == 0) len = 24 + rng() % 40;
    std::vector<uint8_t> r(len);
    brf_make_rec(r.data(), len, id, group, rng());
    return r;
  };
  uint32_t max_end = 0;
  for (int step = 0; step < 6000; ++step) {
    int what = rng() % 10;
    if (what < 4 || by_rid.empty()) {
      uint32_t id = rng() % 3000;
      auto r = make(id, rng() % 20);
      uint32_t rid;
      uint32_t st = brf_insert(o.f, r.data(), uint32_t(r.size()), &rid);
      std::string key(r.begin(), r.begin() + 20);
      if (by_key.count(key)) {
        ASSERT_EQ(st, FM_ST_DUP_KEY);
      } else {
        ASSERT_EQ(st, 0u) << brf_error();
        ASSERT_FALSE(by_rid.count(rid));
        by_rid[rid] = r;
        by_key[key] = rid;
      }
    } else if (what < 7) {
      auto it = by_rid.begin();
      std::advance(it, rng() % by_rid.size());
      uint32_t rid = it->first;
      uint32_t id = rng() % 4 == 0 ? rng() % 3000 : 0;
      std::string oldkey(it->second.begin(), it->second.begin() + 20);
      auto r = make(0, rng() % 20);
      if (id) brf_make_rec(r.data(), 24, id, r[20]);
      else std::memcpy(r.data(), it->second.data(), 20);
      std::string key(r.begin(), r.begin() + 20);
      uint32_t st = brf_update(o.f, rid, r.data(), uint32_t(r.size()));
      if (key != oldkey && by_key.count(key)) {
        ASSERT_EQ(st, FM_ST_DUP_KEY);
      } else {
        ASSERT_EQ(st, 0u) << brf_error();
        by_key.erase(oldkey);
        by_key[key] = rid;
        it->second = r;
      }
    } else {
      auto it = by_rid.begin();
      std::advance(it, rng() % by_rid.size());
      ASSERT_EQ(brf_remove(o.f, it->first), 0u) << brf_error();
      by_key.erase(std::string(it->second.begin(), it->second.begin() + 20));
      by_rid.erase(it);
    }
    if (step % 500 == 499) {
      // Every other check reads inside passes: records by id through the
      // data file instead of its mapping (moved records too).
      bool pass = step % 1000 == 999;
      if (pass) bt_pass_begin(o.f->st, true), bt_pass_begin(o.f->st, false);
      for (auto& [rid, r] : by_rid) {
        uint32_t st;
        ASSERT_EQ(read_rid(o.f, rid, &st), r) << "rid " << rid;
      }
      auto k0 = scan(o.f, 0);
      ASSERT_EQ(k0.size(), by_key.size());
      size_t i = 0;
      for (auto& [key, rid] : by_key) {
        EXPECT_EQ(k0[i].first, key);
        EXPECT_EQ(k0[i].second, rid);
        ++i;
      }
      EXPECT_EQ(scan(o.f, 1).size(), by_rid.size());
      if (pass) bt_pass_end(o.f->st, true), bt_pass_end(o.f->st, false);
      BrfCheck chk;
      ASSERT_EQ(brfanal_verify(p, &chk), 0u);
      EXPECT_TRUE(chk.sound()) << ::testing::PrintToString(chk.problems);
      EXPECT_EQ(chk.records, by_rid.size());
      BrfCounts c = brf_counts(o.f);
      EXPECT_EQ(c.live, by_rid.size());
      max_end = std::max(max_end, c.end);
    }
  }
  // Deleted space is reused: the records never needed much more room than
  // what is live at the peak.
  uint64_t live_bytes = 0;
  for (auto& [rid, r] : by_rid) live_bytes += r.size() + 16;
  EXPECT_LT(brf_counts(o.f).end, 4 * live_bytes + 100000);
  // Deleting everything gives the room back.
  for (auto& [rid, r] : by_rid) ASSERT_EQ(brf_remove(o.f, rid), 0u);
  EXPECT_EQ(brf_counts(o.f).live, 0u);
  EXPECT_TRUE(scan(o.f, 0).empty());
}

namespace {
// The process's resident pages of mapped files, in KiB.
long rss_file_kib() {
  FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  long kib = -1;
  while (f && std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "RssFile:", 8) == 0) kib = std::atol(line + 8);
  if (f) std::fclose(f);
  return kib;
}
}  // namespace

// A pass over a file three times the pass's budget keeps the file's pages
// in the process's memory within the budget and reads every record as a
// read without a pass does; the budget is counted page by page, and at
// scattered places by the system's read-around windows.
TEST(Brf, PassesKeepAFileOutOfMemory) {
  BrfTempDir d;
  std::string p = d.file("BIG");
  Opened o;
  ASSERT_EQ(brf_create(p, brf_test_layout(), false, &o.f), 0u);
  const uint32_t n = 3 * kBtPassPages * kBtPage / 216;
  std::vector<uint32_t> rids(n);
  uint8_t rec[200];
  for (uint32_t i = 0; i < n; ++i) {
    brf_make_rec(rec, sizeof rec, i, i % 13);
    ASSERT_EQ(brf_insert(o.f, rec, sizeof rec, &rids[i]), 0u) << brf_error();
  }
  brf_close(o.f, false);  // its pages leave the process with the mapping
  ASSERT_EQ(brf_open(p, false, &o.f), 0u);
  const long budget_kib = long(kBtPassPages) * kBtPage / 1024, slack_kib = 2048;
  long base = rss_file_kib(), most = base;
  BrfReader rd;
  bt_pass_begin(o.f->st, false);
  uint32_t seen = 0;
  EXPECT_EQ(rd.scan(o.f, 0,
                    [&](const BtCursor&) {
                      brf_make_rec(rec, sizeof rec, seen, seen % 13);
                      EXPECT_EQ(rd.rec(), std::vector<uint8_t>(rec, rec + sizeof rec));
                      if (++seen % 256 == 0) most = std::max(most, rss_file_kib());
                      return true;
                    }),
            FM_ST_EOF);
  EXPECT_EQ(seen, n);
  EXPECT_GE(o.f->st.pass_releases, 2u);
  bt_pass_end(o.f->st, false);
  EXPECT_LT(most - base, budget_kib + slack_kib);

  std::vector<uint32_t> order(n);
  for (uint32_t i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  base = most = rss_file_kib();
  bt_pass_begin(o.f->st, true);
  for (uint32_t k = 0; k < n; ++k) {
    uint32_t i = order[k], st;
    brf_make_rec(rec, sizeof rec, i, i % 13);
    ASSERT_EQ(read_rid(o.f, rids[i], &st), std::vector<uint8_t>(rec, rec + sizeof rec));
    if (k % 256 == 0) most = std::max(most, rss_file_kib());
  }
  // What is read through the file follows the changes made meanwhile.
  uint32_t st;
  brf_make_rec(rec, sizeof rec, 5, 99);
  ASSERT_EQ(brf_update(o.f, rids[5], rec, sizeof rec), 0u) << brf_error();
  EXPECT_EQ(read_rid(o.f, rids[5], &st), std::vector<uint8_t>(rec, rec + sizeof rec));
  ASSERT_EQ(brf_remove(o.f, rids[6]), 0u);
  read_rid(o.f, rids[6], &st);
  EXPECT_EQ(st, FM_ST_NO_RECORD);
  bt_pass_end(o.f->st, true);
  EXPECT_LT(most - base, slack_kib);

  // The budget: full, then one page past it.
  BtStore& s = o.f->st;
  bt_pass_begin(s, false);
  uint32_t rel = s.pass_releases;
  for (uint32_t pg = 0; pg < kBtPassPages; ++pg) bt_pass_read(s, pg % 2, uint64_t(pg / 2) * kBtPage + 5, 1);
  bt_pass_read(s, 0, 5, 1);  // a page already counted
  EXPECT_EQ(s.pass_pages, kBtPassPages);
  EXPECT_EQ(s.pass_releases, rel);
  bt_pass_read(s, 1, uint64_t(kBtPassPages) * kBtPage, 2);
  EXPECT_EQ(s.pass_releases, rel + 1);
  EXPECT_EQ(s.pass_pages, 1u);
  // A read across two pages counts both; at scattered places, their windows.
  bt_pass_read(s, 0, 2 * kBtPage - 1, 2);
  EXPECT_EQ(s.pass_pages, 3u);
  bt_pass_begin(s, true);
  bt_pass_read(s, 0, 40 * kBtPage, 1);
  EXPECT_EQ(s.pass_pages, 3u + kBtPassAround);
  bt_pass_end(s, true);
  bt_pass_end(s, false);
  EXPECT_EQ(s.pass_pages, 0u);
  // No pass, nothing counted.
  bt_pass_read(s, 0, 90 * kBtPage, 1);
  EXPECT_EQ(s.pass_pages, 0u);
}
