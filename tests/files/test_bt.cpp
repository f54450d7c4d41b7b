// The index trees and the check sums under them: deep trees and their
// seeks against a std::set oracle, and the CRC against a bitwise oracle;
// pages, links, the journal and the hold table as another user may write
// them, each answered with the damage's status or set right.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "files/brf.h"
#include "files/brf_support.h"
#include "files/brfanal.h"
#include "files/fm.h"
#include "files/unixio.h"

#include <sys/wait.h>

// Runs fn in a forked child (as another process of the same files), stopped
// after 10 seconds: fn's result as its exit status, else 128 + the signal
// that ended it (142: it ran on).
int in_child(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0) {
    ::alarm(10);
    _exit(fn());
  }
  int ws = 0;
  waitpid(pid, &ws, 0);
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

// Keys of klen bytes (at most 100) in a file of 120-byte records.
// Records of 120 bytes: a unique key of klen bytes at 0, a duplicate key on
// the 2 bytes at 100.
BrfLayout two_keys(uint32_t klen) {
  BrfLayout lay;
  lay.rec_len = 120;
  BrfKeyDef k0;
  k0.segs.push_back(brf_seg(0, klen));
  BrfKeyDef k1;
  k1.key_no = 1;
  k1.flags = kBrfKeyDup;
  k1.segs.push_back(brf_seg(100, 2, 8, '-'));
  lay.keys = {k0, k1};
  return lay;
}

void deep_trees(uint32_t klen) {
  BrfTempDir d;
  std::string p = d.file("DEEP");
  BrfLayout lay = two_keys(klen);
  BrfFile* f;
  ASSERT_EQ(brf_create(p, lay, false, &f), 0u);
  std::mt19937 rng(5);
  std::set<std::string> keys;
  std::map<std::string, uint32_t> rids;
  std::vector<uint8_t> rec(120);
  auto put = [&](uint32_t n) {
    std::string k(100, ' ');
    std::snprintf(k.data(), 101, "%08u%092u", n, n * 7);
    k.resize(klen);
    std::memcpy(rec.data(), k.data(), klen);
    uint16_t g = uint16_t(n % 50);
    std::memcpy(rec.data() + 100, &g, 2);
    uint32_t rid;
    uint32_t st = brf_insert(f, rec.data(), 120, &rid);
    if (keys.count(k)) {
      EXPECT_EQ(st, FM_ST_DUP_KEY);
    } else {
      ASSERT_EQ(st, 0u) << brf_error();
      keys.insert(k);
      rids[k] = rid;
    }
  };
  for (int i = 0; i < 30000; ++i) put(rng() % 40000);
  bool full = true;  // every leaf at least half full
  auto check = [&] {
    BrfCheck c;
    ASSERT_EQ(brfanal_verify(p, &c), 0u);
    ASSERT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
    BrfReader rd(200);
    auto it = keys.begin();
    rd.scan(f, 0, [&](const BtCursor&) {
      if (it == keys.end()) return ADD_FAILURE() << "more records than keys", false;
      std::string k(rd.buf.begin(), rd.buf.begin() + klen);
      if (k != *it) return ADD_FAILURE() << k << " where " << *it << " belongs", false;
      return ++it, true;
    });
    EXPECT_EQ(it, keys.end());
    // The read-ahead's hints: from any entry, the ids of the entries a walk
    // meets after it, across leaves, cut short only by the end (or, in a
    // thinned tree, by its leaf limit).
    std::vector<uint32_t> walk;
    rd.scan(f, 0, [&](const BtCursor& c) { return walk.push_back(c.rid), true; });
    size_t at = 0;
    rd.scan(f, 0, [&](const BtCursor& c) {
      for (uint32_t from : {0u, 16u}) {
        uint32_t got[16];
        uint32_t n = bt_ahead(f->st, 0, c, from, got, 16);
        size_t want = std::min<size_t>(16, walk.size() - std::min(walk.size(), at + from));
        if (full) {
          EXPECT_EQ(n, want) << at;
        }
        EXPECT_LE(n, want) << at;
        for (uint32_t i = 0; i < n; ++i)
          if (got[i] != walk[at + from + i]) return ADD_FAILURE() << at << "+" << from + i, false;
      }
      return ++at, true;
    });
    // Seeks by a whole key and by its first 8 bytes, at least and after,
    // against the set's bounds: the first and last keys, one before and
    // one past them, and random keys present or not.
    auto expect_seek = [&](const std::string& probe, uint32_t n, BrfSeek how) {
      std::string bound = n < klen ? probe.substr(0, n) + std::string(klen - n, how == BrfSeek::After ? '\x7f' : '\0')
                                   : probe;
      auto want = how == BrfSeek::After ? keys.upper_bound(bound) : keys.lower_bound(bound);
      BtCursor c;
      uint32_t st = brf_seek(f, 0, reinterpret_cast<const uint8_t*>(probe.data()), n, how, c, rd.r);
      if (want == keys.end()) {
        EXPECT_EQ(st, uint32_t(FM_ST_EOF)) << probe.substr(0, n);
        return;
      }
      ASSERT_EQ(st, 0u) << brf_error();
      EXPECT_EQ(std::string(rd.buf.begin(), rd.buf.begin() + klen), *want) << probe.substr(0, n);
    };
    std::vector<std::string> probes;
    if (!keys.empty()) probes = {*keys.begin(), *keys.rbegin()};
    for (int i = 0; i < 300; ++i) {
      std::string k(101, ' ');
      uint32_t n = rng() % 40001;
      std::snprintf(k.data(), 101, "%08u%092u", n, n * 7);
      probes.push_back(k.substr(0, klen));
    }
    probes.push_back(std::string(klen, '0'));
    probes.push_back(std::string(klen, '9'));
    for (const auto& k : probes)
      for (uint32_t n : {klen, 8u, 5u})
        for (BrfSeek how : {BrfSeek::AtLeast, BrfSeek::After}) expect_seek(k, n, how);
  };
  check();
  BrfAnalysis a;
  ASSERT_EQ(brfanal_analyse(p, &a), 0u);
  EXPECT_GE(a.trees[0].height, klen == 100 ? 3u : 2u);
  // Remove most records in random order: pages empty out and leave the trees.
  std::vector<std::string> order(keys.begin(), keys.end());
  std::shuffle(order.begin(), order.end(), rng);
  full = false;
  // Every other record is read first and deleted at the read's place. Every
  // tenth is given a place that must not be used: the entry of another
  // record read just before, or its own entry read before another change.
  BrfReader rd(200);
  auto at_key = [&](const std::string& k, BtCursor& c) {
    return brf_seek(f, 0, reinterpret_cast<const uint8_t*>(k.data()), klen, BrfSeek::Exact, c, rd.r);
  };
  for (size_t i = 0; i < order.size() * 9 / 10; ++i) {
    const std::string& k = order[i];
    BtCursor c;
    if (i % 10 == 0) {
      ASSERT_EQ(at_key(order[i + 1], c), 0u);
      ASSERT_EQ(brf_remove(f, rids[k], 0, 0, &c), 0u) << brf_error();
    } else if (i % 10 == 2) {
      ASSERT_EQ(at_key(k, c), 0u);
      put(rng() % 40000);
      ASSERT_EQ(brf_remove(f, rids[k], 0, 0, &c), 0u) << brf_error();
    } else if (i % 10 == 4) {
      // Read by the second key (duplicates: its entry ends with the record's
      // write sequence).
      ASSERT_EQ(at_key(k, c), 0u);
      uint8_t e[kBtMaxKey];
      ASSERT_TRUE(brf_entry_of(f, 1, rd.r, e));
      ASSERT_EQ(brf_seek(f, 1, e, f->key_len[1], BrfSeek::Exact, c, rd.r), 0u);
      ASSERT_EQ(rd.r.rid, rids[k]);
      ASSERT_EQ(brf_remove(f, rids[k], 0, 1, &c), 0u) << brf_error();
    } else if (i % 2 == 0) {
      ASSERT_EQ(at_key(k, c), 0u);
      ASSERT_EQ(brf_remove(f, rids[k], 0, 0, &c), 0u) << brf_error();
    } else {
      ASSERT_EQ(brf_remove(f, rids[k]), 0u) << brf_error();
    }
    keys.erase(k);
    if (i % 5000 == 0) check();
  }
  check();
  for (int i = 0; i < 3000; ++i) put(rng() % 40000);
  check();
  // The upper half goes from the last key down: each leaf emptied is the
  // last, and its left neighbour lies in a subtree ever further up. The
  // rest goes from the first key up.
  std::vector<std::string> rest(keys.begin(), keys.end());
  for (size_t i = rest.size(); i-- > rest.size() / 2;) {
    ASSERT_EQ(brf_remove(f, rids[rest[i]]), 0u) << brf_error();
    keys.erase(rest[i]);
  }
  check();
  for (size_t i = 0; i < rest.size() / 2; ++i) ASSERT_EQ(brf_remove(f, rids[rest[i]]), 0u) << brf_error();
  keys.clear();
  check();
  ASSERT_EQ(brfanal_analyse(p, &a), 0u);
  EXPECT_EQ(a.trees[0].pages, 0u);
  EXPECT_EQ(a.trees[1].pages, 0u);
  EXPECT_EQ(a.live, 0u);
  brf_close(f, false);
}

// Long keys make few entries a page, so the trees grow three levels deep and
// more; short ones many entries a page, searched through their samples.
TEST(Bt, DeepTreesSplitAndShrinkAgainstAnOracle) {
  deep_trees(100);
  deep_trees(12);
}

// A seek guesses where in a leaf its entry lies (from the separators on
// either side of the leaf and the entries the leaf had when last read) and
// looks there first. Keys crowded at places, numbers and letters, a
// duplicate key with a long run: whatever the guess, and whatever the
// remembered counts say, every seek lands where the oracle's does.
TEST(Bt, SeeksLandWhereTheOracleDoesWhateverTheGuess) {
  BrfTempDir d;
  BrfFile* f;
  ASSERT_EQ(brf_create(d.file("GUESS"), brf_test_layout(32), false, &f), 0u);
  std::mt19937 rng(11);
  std::set<std::string> keys;
  std::map<uint32_t, std::vector<std::string>> groups;  // duplicate key: unique keys in write order
  std::vector<uint8_t> rec(32);
  auto key_of = [&](uint32_t i) {
    char k[24];
    if (i % 5 == 0)
      std::snprintf(k, sizeof k, "AB%c%017u", 'A' + int(i % 26), i);  // letters
    else if (i % 5 < 3)
      std::snprintf(k, sizeof k, "%020u", 500000000u + i % 3000);  // crowded
    else
      std::snprintf(k, sizeof k, "%020llu", (unsigned long long)i * i * 7919);  // spread
    return std::string(k, 20);
  };
  for (uint32_t i = 0; i < 20000; ++i) {
    std::string k = key_of(rng() % 60000);
    if (keys.count(k)) continue;
    uint32_t g = i % 3 == 0 ? 77 : rng() % 500;
    std::memcpy(rec.data(), k.data(), 20);
    std::memcpy(rec.data() + 20, &g, 4);
    uint32_t rid;
    ASSERT_EQ(brf_insert(f, rec.data(), 32, &rid), 0u) << brf_error();
    keys.insert(k);
    groups[g].push_back(k);
  }
  BrfReader rd(64);
  auto got = [&] { return std::string(rd.buf.begin(), rd.buf.begin() + 20); };
  auto seeks = [&](const char* hints) {
    SCOPED_TRACE(hints);
    for (int i = 0; i < 3000; ++i) {
      std::string probe = i % 2 ? *std::next(keys.begin(), long(rng() % keys.size())) : key_of(rng() % 60000);
      for (uint32_t n : {20u, 11u, 3u}) {
        for (BrfSeek how : {BrfSeek::AtLeast, BrfSeek::After, BrfSeek::Exact}) {
          std::string bound = probe.substr(0, n) + std::string(20 - n, how == BrfSeek::After ? '\xff' : '\0');
          auto want = how == BrfSeek::After ? keys.upper_bound(bound) : keys.lower_bound(bound);
          if (how == BrfSeek::Exact && want != keys.end() && want->compare(0, n, probe, 0, n) != 0)
            want = keys.end();
          BtCursor c;
          uint32_t st = brf_seek(f, 0, reinterpret_cast<const uint8_t*>(probe.data()), n, how, c, rd.r);
          if (want == keys.end()) {
            ASSERT_NE(st, 0u) << probe << " " << n;
          } else {
            ASSERT_EQ(st, 0u) << probe << " " << n << " " << brf_error();
            ASSERT_EQ(got(), *want) << probe << " " << n << " " << int(how);
          }
        }
      }
      // The duplicate key: the first record of the first value at least
      // (after) the probe's, in write order.
      uint32_t g = i % 4 == 0 ? 77 : rng() % 520;
      uint8_t be[4] = {uint8_t(g >> 24), uint8_t(g >> 16), uint8_t(g >> 8), uint8_t(g)};
      for (BrfSeek how : {BrfSeek::AtLeast, BrfSeek::After}) {
        auto want = how == BrfSeek::After ? groups.upper_bound(g) : groups.lower_bound(g);
        BtCursor c;
        uint32_t st = brf_seek(f, 1, be, 4, how, c, rd.r);
        if (want == groups.end()) {
          ASSERT_EQ(st, uint32_t(FM_ST_EOF)) << g;
        } else {
          ASSERT_EQ(st, 0u) << g << " " << brf_error();
          ASSERT_EQ(got(), want->second.front()) << g << " " << int(how);
        }
      }
    }
  };
  seeks("counts as read");
  for (auto& n : f->st.leaf_count) n = 1;
  seeks("every leaf remembered with one entry");
  for (auto& n : f->st.leaf_count) n = uint16_t(rng());
  seeks("random counts");
  brf_close(f, false);
}

// Keys written in ascending order fill their leaves: four leaves exactly
// full and one entry past them make five leaves under one root. The last
// entry of a full leaf, erased, leaves its bytes past the leaf's count: a
// second erase finds nothing, and an insert of it again is no duplicate.
TEST(Bt, AnAscendingLoadFillsItsLeaves) {
  BrfTempDir d;
  BrfFile* f;
  ASSERT_EQ(brf_create(d.file("ASC"), brf_test_layout(32), false, &f), 0u);
  BtStore& s = f->st;
  const uint32_t cap = (kBtPage - kBtPageHdr) / (s.klen[0] + 4u);
  std::vector<uint8_t> rec(32);
  for (uint32_t i = 0; i < 4 * cap + 1; ++i) {
    brf_make_rec(rec.data(), 32, i, 1);
    uint32_t rid;
    ASSERT_EQ(brf_insert(f, rec.data(), 32, &rid), 0u) << brf_error();
  }
  BrfAnalysis a;
  ASSERT_EQ(brfanal_analyse(d.file("ASC"), &a), 0u);
  EXPECT_EQ(a.trees[0].height, 2u);
  EXPECT_EQ(a.trees[0].pages, 6u);
  // The last entry of the fourth leaf (key 4 * cap - 1).
  brf_make_rec(rec.data(), 32, 4 * cap - 1, 1);
  uint8_t k[kBtMaxKey];
  BrfReader rd(64);
  ASSERT_EQ(rd.seek(f, 0, rec.data(), 20), 0u);
  ASSERT_TRUE(brf_entry_of(f, 0, rd.r, k));
  ASSERT_EQ(bt_begin(s), kBtOk);
  uint32_t rid = 0;
  EXPECT_EQ(bt_erase(s, 0, k, &rid), kBtOk);
  EXPECT_EQ(bt_erase(s, 0, k, nullptr), kBtNotFound);
  EXPECT_EQ(bt_insert(s, 0, k, rid), kBtOk);
  EXPECT_EQ(bt_insert(s, 0, k, rid), kBtDupKey);
  ASSERT_EQ(bt_abort(s), kBtOk);
  brf_close(f, false);
}

TEST(Bt, ChecksumsAgainstOracles) {
  // CRC-32C check value, and random buffers against a bitwise CRC.
  EXPECT_EQ(uio_crc32c("123456789", 9), 0xE3069283u);
  std::mt19937 rng(3);
  for (int t = 0; t < 200; ++t) {
    std::vector<uint8_t> b(rng() % 300);
    for (auto& x : b) x = uint8_t(rng());
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t x : b) {
      c ^= x;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1)));
    }
    ASSERT_EQ(uio_crc32c(b.data(), b.size()), ~c);
  }
  // The page sum: every single-bit change and a zeroed page change it.
  std::vector<uint8_t> page(4096);
  for (auto& x : page) x = uint8_t(rng());
  uint64_t s = uio_sum64(page.data(), page.size(), 42);
  for (size_t bit = 0; bit < page.size() * 8; bit += 7) {
    page[bit / 8] ^= uint8_t(1u << (bit % 8));
    ASSERT_NE(uio_sum64(page.data(), page.size(), 42), s) << bit;
    page[bit / 8] ^= uint8_t(1u << (bit % 8));
  }
  std::vector<uint8_t> zero(4096, 0);
  EXPECT_NE(uio_sum64(zero.data(), zero.size(), 42), 0u);
  EXPECT_NE(uio_sum64(page.data(), page.size(), 43), s);
}

// 3000 records of two_keys(100), keys in no order: tree 0 three levels deep.
void fill_3000(BrfFile* f, std::vector<uint32_t>* rids) {
  std::vector<uint8_t> rec(120, ' ');
  for (uint32_t n = 0; n < 3000; ++n) {
    std::snprintf(reinterpret_cast<char*>(rec.data()), 101, "%08u%092u", n * 7919 % 3000, n);
    uint16_t g = uint16_t(n % 50);
    std::memcpy(rec.data() + 100, &g, 2);
    uint32_t rid;
    ASSERT_EQ(brf_insert(f, rec.data(), 120, &rid), 0u) << brf_error();
    if (rids) rids->push_back(rid);
  }
}

// A page number or count that another user wrote into an index page, its
// check sum made whole again: a child one past the last page, the page one
// past the file's end, or far past it; a count one past what the page
// holds, none, or the largest.
// What reaches the damaged tree (a seek by its key, a remove or insert,
// which ask for its leaves ahead) answers the damage's status, never a
// fault; seeks by the other key go on.
TEST(Bt, CraftedPageNumbersAndCountsGiveTheDamageStatus) {
  struct Craft {
    int tree;
    bool count;  // else a child's page number
    uint32_t v;  // 0: one past the last page (a count: past the page's room)
  };
  constexpr uint32_t kFileEnd = 0xFFFFFFFEu;  // a child: the page one past the file's end
  constexpr uint32_t kNone = 0x10000u;        // a count of 0
  const Craft crafts[] = {{0, false, 0},     {1, false, 0},     {0, false, kFileEnd}, {0, false, 0xFFFFFFFFu},
                          {1, false, 0xFFFFFFFFu}, {1, false, 1000000}, {0, true, 0},  {1, true, 0},
                          {0, true, kNone},  {1, true, 0xFFFF}};
  for (const Craft& c : crafts) {
    BrfTempDir d;
    std::string p = d.file("CRAFT");
    BrfLayout lay = two_keys(100);
    BrfFile* f;
    ASSERT_EQ(brf_create(p, lay, false, &f), 0u);
    std::vector<uint8_t> rec(120, ' ');
    std::vector<uint32_t> rids;
    fill_3000(f, &rids);
    BtStore& s = f->st;
    bt_refresh_sizes(s);
    uint32_t root = bt_hdr(s).trees[c.tree].root.get();
    uint32_t pages = bt_hdr(s).page_count.get();
    ASSERT_EQ(bt_begin(s), 0);
    uint8_t* pg = bt_wpage(s, root);
    ASSERT_NE(pg, nullptr);
    ASSERT_GT(bt_ph(pg).level.get(), 0);
    const uint32_t esize = s.klen[c.tree] + 4;
    if (c.count) {
      bt_ph(pg).count = uint16_t(c.v == kNone ? 0 : c.v ? c.v : (kBtPage - kBtPageHdr) / esize + 1);
    } else {
      uint32_t to = c.v == kFileEnd ? uint32_t(s.isize / kBtPage) : c.v ? c.v : pages;
      for (uint32_t i = 0; i < bt_ph(pg).count.get(); ++i)
        rec::view<rec::U32>(pg + kBtPageHdr + i * esize + s.klen[c.tree]) = to;
    }
    ASSERT_EQ(bt_commit(s), 0);
    std::vector<uint8_t> buf(200);
    BrfRead r{buf.data(), 200};
    for (uint32_t n = 0; n < 3000; n += 97) {
      BtCursor cur;
      std::snprintf(reinterpret_cast<char*>(rec.data()), 101, "%08u%092u", n * 7919 % 3000, n);
      uint32_t st[2] = {brf_seek(f, 0, rec.data(), 100, BrfSeek::AtLeast, cur, r),
                        brf_seek(f, 1, rec.data() + 100, 2, BrfSeek::AtLeast, cur, r)};
      EXPECT_EQ(st[c.tree], FM_ST_SYS) << n;
      EXPECT_EQ(st[1 - c.tree], 0u) << n;
      EXPECT_EQ(brf_remove(f, rids[n]), FM_ST_SYS) << n;
      uint32_t rid;
      rec[0] = 'Z';
      EXPECT_EQ(brf_insert(f, rec.data(), 120, &rid), FM_ST_SYS) << n;
    }
    brf_close(f, false);
  }
}

// A page of the index file as mapped, and the value (a child page or a
// record id) of entry i of a page of a tree.
uint8_t* page_at(BtStore& s, uint32_t pg) { return s.imap + uint64_t(pg) * kBtPage; }
rec::U32& link_at(BtStore& s, int tree, uint32_t pg, uint32_t i) {
  return rec::view<rec::U32>(page_at(s, pg) + kBtPageHdr + i * (s.klen[tree] + 4u) + s.klen[tree]);
}

// Links a change follows, written by another user (the page's or the
// header's check sum made whole). The left neighbour of a leaf that empties
// (it takes the leaf's next pointer), named by the entry before the leaf's
// in its parent: the page one past the file's end, a page far past it, or
// a leaf of the other tree. The first free page: the other tree's root.
// The change that meets one answers the damage's status (made in a child,
// so that a fault ends only it), and the other tree keeps every record. A
// walk's read-ahead hints keep inside a leaf whose count is the largest,
// and stop at its next pointer to the page one past the file's end.
TEST(Bt, CraftedLinksOfAChangeGiveTheDamageStatus) {
  for (int craft = 0; craft < 4; ++craft) {
    SCOPED_TRACE(craft);
    BrfTempDir d;
    BrfFile* f;
    ASSERT_EQ(brf_create(d.file("LINK"), two_keys(100), false, &f), 0u);
    fill_3000(f, nullptr);
    BtStore& s = f->st;
    bt_refresh_sizes(s);
    auto at = [&](uint32_t pg) { return page_at(s, pg); };
    auto val = [&](int tree, uint32_t pg, uint32_t i) -> rec::U32& { return link_at(s, tree, pg, i); };
    // The first page of a level, down the first children.
    auto first_at = [&](int tree, int level) {
      uint32_t pg = bt_hdr(s).trees[tree].root.get();
      for (int l = bt_hdr(s).trees[tree].height.get() - 1; l > level; --l) pg = val(tree, pg, 0).get();
      return pg;
    };
    uint32_t parent = first_at(0, 1);
    ASSERT_GE(bt_ph(at(parent)).count.get(), 2u);
    uint32_t leaf = val(0, parent, 1).get();
    std::vector<uint32_t> rids;
    for (uint32_t i = 0; i < bt_ph(at(leaf)).count.get(); ++i) rids.push_back(val(0, leaf, i).get());
    const uint32_t file_end = uint32_t(s.isize / kBtPage);
    ASSERT_EQ(bt_begin(s), 0);
    if (craft < 3) {
      ASSERT_NE(bt_wpage(s, parent), nullptr);
      val(0, parent, 0) = craft == 0 ? file_end : craft == 1 ? 0xFFFFFFFFu : first_at(1, 0);
    } else {
      ASSERT_NE(bt_wpage(s, 0), nullptr);
      bt_hdr(s).free_head = bt_hdr(s).trees[1].root.get();
      bt_hdr(s).free_count = 1;
      ASSERT_NE(bt_wpage(s, leaf), nullptr);
      bt_ph(at(leaf)).next = file_end;
      bt_ph(at(leaf)).count = 0xFFFF;
    }
    ASSERT_EQ(bt_commit(s), 0);
    if (craft == 3) {
      BtCursor c;
      c.page = leaf;
      c.idx = 1;
      uint32_t got[64];
      EXPECT_EQ(bt_ahead(s, 0, c, 0, got, 64), (kBtPage - kBtPageHdr) / (s.klen[0] + 4u) - 1);
    }
    // In the child: the leaf emptied, or a page allocated.
    for (size_t i = 0; craft < 3 && i + 1 < rids.size(); ++i) ASSERT_EQ(brf_remove(f, rids[i]), 0u) << brf_error();
    int st = in_child([&] {
      if (craft < 3) return brf_remove(f, rids.back()) == FM_ST_SYS ? 0 : 1;
      if (bt_begin(s) != kBtOk) return 2;
      uint32_t pg;
      int rc = bt_alloc_page(s, &pg);
      static_cast<void>(bt_abort(s));
      return rc == kBtDamaged ? 0 : 1;
    });
    if (st >= 128) {
      ADD_FAILURE() << "the change ended by signal " << st - 128;
    } else {
      EXPECT_EQ(st, 0) << "the change did not answer the damage's status";
      // (The crafted tree holds the damage itself.)
      BrfReader rd(200);
      size_t n = 0;
      EXPECT_EQ(rd.scan(f, 1, [&](const BtCursor&) { return ++n, true; }), uint32_t(FM_ST_EOF));
      EXPECT_GE(n, 3000 - rids.size() + 1);
    }
    brf_close(f, false);
  }
}

// The root's only child after a change, named by a link that another user
// wrote: a leaf of the other tree holding one entry. Tree 0's root keeps two
// children, the first down to one record, whose remove empties it and
// leaves the root one child: the root collapse meets the link. The change
// answers the damage's status, and the other tree keeps its pages and
// every record.
TEST(Bt, ACraftedChildOfACollapsingRootGivesTheDamageStatus) {
  BrfTempDir d;
  BrfFile* f;
  ASSERT_EQ(brf_create(d.file("ROOT"), two_keys(100), false, &f), 0u);
  fill_3000(f, nullptr);
  BtStore& s = f->st;
  bt_refresh_sizes(s);
  auto at = [&](uint32_t pg) { return page_at(s, pg); };
  auto val = [&](int tree, uint32_t pg, uint32_t i) -> rec::U32& { return link_at(s, tree, pg, i); };
  // The records under a page of tree 0 at a level.
  std::function<void(uint32_t, int, std::vector<uint32_t>&)> under = [&](uint32_t pg, int level,
                                                                          std::vector<uint32_t>& out) {
    for (uint32_t i = 0; i < bt_ph(at(pg)).count.get(); ++i)
      if (level == 0) out.push_back(val(0, pg, i).get());
      else under(val(0, pg, i).get(), level - 1, out);
  };
  const uint32_t root = bt_hdr(s).trees[0].root.get();
  const int height = bt_hdr(s).trees[0].height.get();
  ASSERT_GE(height, 3);  // (a chain below the root to collapse)
  const uint32_t kids = bt_ph(at(root)).count.get();
  ASSERT_GE(kids, 2u);
  std::vector<uint32_t> gone;
  for (uint32_t k = 0; k + 1 < kids; ++k) under(val(0, root, k).get(), height - 2, gone);
  const uint32_t last = gone.front();  // the first record of the first leaf
  gone.erase(gone.begin());
  for (uint32_t rid : gone) ASSERT_EQ(brf_remove(f, rid), 0u) << brf_error();
  // A leaf of tree 1 without that record, down to one entry.
  uint32_t one = bt_hdr(s).trees[1].root.get();
  for (int l = bt_hdr(s).trees[1].height.get() - 1; l > 0; --l) one = val(1, one, 0).get();
  auto holds_last = [&](uint32_t pg) {
    for (uint32_t i = 0; i < bt_ph(at(pg)).count.get(); ++i)
      if (val(1, pg, i).get() == last) return true;
    return false;
  };
  while (holds_last(one)) one = bt_ph(at(one)).next.get();
  std::vector<uint32_t> cut;
  for (uint32_t i = 1; i < bt_ph(at(one)).count.get(); ++i) cut.push_back(val(1, one, i).get());
  for (uint32_t rid : cut) ASSERT_EQ(brf_remove(f, rid), 0u) << brf_error();
  ASSERT_EQ(bt_ph(at(one)).count.get(), 1u);
  ASSERT_EQ(bt_ph(at(root)).count.get(), 2u);
  const size_t left = 3000 - gone.size() - cut.size();
  ASSERT_EQ(bt_begin(s), 0);
  ASSERT_NE(bt_wpage(s, root), nullptr);
  val(0, root, 1) = one;
  ASSERT_EQ(bt_commit(s), 0);
  int st = in_child([&] {
    uint32_t rc = brf_remove(f, last);
    return rc == FM_ST_SYS ? 0 : rc == 0 ? 1 : 2;  // (1: success)
  });
  ASSERT_LT(st, 128) << "the change ended by signal " << st - 128;
  EXPECT_EQ(st, 0) << "the change did not answer the damage's status";
  BrfReader rd(200);
  size_t n = 0;
  EXPECT_EQ(rd.scan(f, 1, [&](const BtCursor&) { return ++n, true; }), uint32_t(FM_ST_EOF));
  EXPECT_GE(n, left - 1);  // (less the last record, if the change went through)
  brf_close(f, false);
}

// A file of n records of brf_test_layout(32), written in key order; the
// index file's path.
std::string small_file(const BrfTempDir& d, uint32_t n, BrfFile** f) {
  std::string p = d.file("SMALL");
  EXPECT_EQ(brf_create(p, brf_test_layout(32), false, f), 0u);
  std::vector<uint8_t> rec(32);
  for (uint32_t i = 0; i < n; ++i) {
    brf_make_rec(rec.data(), 32, i, i % 7);
    uint32_t rid;
    EXPECT_EQ(brf_insert(*f, rec.data(), 32, &rid), 0u) << brf_error();
  }
  return brf_index_path(p);
}

// The rollback of a dead change copies back, newest first, every entry of
// the change whose check sum holds and that lies wholly in the journal: two
// entries of overlapping bytes give back the bytes before the first; an
// entry ending exactly at the journal's end counts, one a byte short does
// not, nor one with a byte of its bytes changed or its offset moved (the sum
// covers both). One naming a third file, its sum made whole, is damage: no
// entry is copied.
TEST(Bt, ARollbackCopiesBackEverySoundEntryNewestFirst) {
  enum Craft { kExactEnd, kShort, kFlipped, kMoved, kThirdFile };
  for (Craft craft : {kExactEnd, kShort, kFlipped, kMoved, kThirdFile}) {
    SCOPED_TRACE(int(craft));
    BrfTempDir d;
    BrfFile* f;
    small_file(d, 40, &f);
    BtStore& s = f->st;
    constexpr uint64_t kAt = 1000;
    const std::vector<uint8_t> before(s.dmap + kAt, s.dmap + kAt + 24);
    ASSERT_EQ(bt_begin(s), kBtOk);
    ASSERT_EQ(bt_touch_data(s, kAt, 16), kBtOk);
    std::memset(s.dmap + kAt, 'X', 16);
    const uint64_t last = s.jpos;
    ASSERT_EQ(bt_touch_data(s, kAt + 8, 16), kBtOk);
    std::memset(s.dmap + kAt + 8, 'Y', 16);
    auto& e = rec::view<BtJnlEnt>(s.jmap + last);
    uint8_t* old = s.jmap + last + sizeof(BtJnlEnt);
    if (craft == kExactEnd || craft == kShort) {
      ASSERT_EQ(::ftruncate(s.jfd, off_t(s.jpos - (craft == kShort))), 0);
    }
    if (craft == kFlipped) old[4] ^= 1;
    if (craft == kMoved) e.off = kAt + 16;
    if (craft == kThirdFile) {
      e.file = 2;
      uint64_t seed = e.txn.get() * 0x9E3779B97F4A7C15ull ^ (uint64_t(e.file.get()) << 56) ^
                      (uint64_t(e.len.get()) << 20) ^ e.off.get() * 0xC2B2AE3D27D4EB4Full;
      e.sum = uio_sum64(old, 16, seed);
    }
    uint64_t bad = 0;
    EXPECT_EQ(bt_recover_check(s, &bad), craft == kThirdFile ? kBtDamaged : kBtOk);
    EXPECT_EQ(bt_recover(s), craft == kThirdFile ? kBtDamaged : kBtOk);
    std::vector<uint8_t> want = before;
    if (craft == kThirdFile) {
      EXPECT_EQ(bad, last);
      std::memset(want.data(), 'X', 8);
      std::memset(want.data() + 8, 'Y', 16);
    } else if (craft != kExactEnd) {
      std::memset(want.data() + 16, 'Y', 8);  // only the first entry copied back
    }
    EXPECT_EQ(std::vector<uint8_t>(s.dmap + kAt, s.dmap + kAt + 24), want);
    static_cast<void>(bt_abort(s));
    brf_close(f, false);
  }
}

// Every byte of an index page is under its check sum: a byte of its header
// (kind, change value, next link, spare) or its last byte, changed by
// another user, makes a seek through the page answer the damage's status in
// a process that opens the file afresh. A page this process has verified,
// changed with its change value raised, is verified again.
TEST(Bt, EveryByteOfAPageIsUnderItsSum) {
  BrfTempDir d;
  BrfFile* f;
  const std::string ip = small_file(d, 400, &f);
  BtStore& s = f->st;
  ASSERT_EQ(bt_hdr(s).trees[0].height.get(), 2);
  const uint32_t leaf = link_at(s, 0, bt_hdr(s).trees[0].root.get(), 0).get();
  brf_close(f, false);
  const std::string p = d.file("SMALL");
  uint8_t key[20];
  std::vector<uint8_t> rec(32);
  brf_make_rec(rec.data(), 32, 0, 0);
  std::memcpy(key, rec.data(), 20);
  BrfReader rd(64);
  const int fd = ::open(ip.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  auto flip = [&](uint32_t off, uint8_t bits) {
    uint8_t b;
    ASSERT_EQ(::pread(fd, &b, 1, off_t(uint64_t(leaf) * kBtPage + off)), 1);
    b ^= bits;
    ASSERT_EQ(::pwrite(fd, &b, 1, off_t(uint64_t(leaf) * kBtPage + off)), 1);
  };
  for (uint32_t off : {2u, 8u, 24u, 31u, kBtPage - 1}) {
    SCOPED_TRACE(off);
    flip(off, 1);
    ASSERT_EQ(brf_open(p, false, &f), 0u) << brf_error();
    EXPECT_EQ(rd.seek(f, 0, key, 20), FM_ST_SYS);
    brf_close(f, false);
    flip(off, 1);
  }
  ASSERT_EQ(brf_open(p, false, &f), 0u) << brf_error();
  ASSERT_EQ(rd.seek(f, 0, key, 20), 0u);
  uint64_t lsn;
  const off_t lsn_at = off_t(uint64_t(leaf) * kBtPage + offsetof(BtPageHdr, lsn));
  ASSERT_EQ(::pread(fd, &lsn, 8, lsn_at), 8);
  lsn += 2;
  ASSERT_EQ(::pwrite(fd, &lsn, 8, lsn_at), 8);
  flip(kBtPage - 1, 1);
  EXPECT_EQ(rd.seek(f, 0, key, 20), FM_ST_SYS);
  brf_close(f, false);
  ::close(fd);
}

// Page 0's page count, its sum made whole by another user: every page of
// the file is sound; one past the file's end, or none (the next page taken
// would be page 0), makes a change answer the damage's status. So does the
// last byte the header's sum covers, changed.
TEST(Bt, APageCountPastTheFileOrNoneIsDamage) {
  enum Craft { kFilePages, kPastFile, kNone, kLastSummed };
  for (Craft craft : {kFilePages, kPastFile, kNone, kLastSummed}) {
    SCOPED_TRACE(int(craft));
    BrfTempDir d;
    BrfFile* f;
    small_file(d, 10, &f);
    BtStore& s = f->st;
    bt_refresh_sizes(s);
    const uint32_t file_pages = uint32_t(s.isize / kBtPage);
    ASSERT_EQ(bt_begin(s), kBtOk);
    ASSERT_NE(bt_wpage(s, 0), nullptr);
    if (craft != kLastSummed) bt_hdr(s).page_count = craft == kNone ? 0 : file_pages + (craft == kPastFile);
    ASSERT_EQ(bt_commit(s), kBtOk);
    if (craft == kLastSummed) s.imap[offsetof(BtHdr, sum) - 1] ^= 1;
    EXPECT_EQ(bt_begin(s), craft == kFilePages ? kBtOk : kBtDamaged);
    static_cast<void>(bt_abort(s));
    brf_close(f, false);
  }
}

// A link of a leaf of tree 0, written by another user with the page's sum
// made whole (in a change of this process); empty: the leaf's count too.
void relink(BtStore& s, uint32_t leaf, uint32_t next, bool empty) {
  ASSERT_EQ(bt_begin(s), kBtOk);
  uint8_t* p = bt_wpage(s, leaf);
  ASSERT_NE(p, nullptr);
  bt_ph(p).next = next;
  if (empty) bt_ph(p).count = 0;
  ASSERT_EQ(bt_commit(s), kBtOk);
}

// A leaf emptied and linked to itself by another user: a seek into it
// answers the damage's status in bounded time (the hops along empty leaves
// are bounded), in a child stopped after 10 seconds.
TEST(Bt, AnEmptyLeafLinkedToItselfIsDamageInBoundedTime) {
  BrfTempDir d;
  BrfFile* f;
  small_file(d, 400, &f);
  BtStore& s = f->st;
  const uint32_t first = link_at(s, 0, bt_hdr(s).trees[0].root.get(), 0).get();
  relink(s, first, first, true);
  int st = in_child([&] {
    std::vector<uint8_t> rec(32);
    brf_make_rec(rec.data(), 32, 0, 0);
    BrfReader rd(64);
    return rd.seek(f, 0, rec.data(), 20) == FM_ST_SYS ? 0 : 1;
  });
  ASSERT_LT(st, 128) << "the seek ended by signal " << st - 128 << " (14: it ran on)";
  EXPECT_EQ(st, 0) << "the seek did not answer the damage's status";
  brf_close(f, false);
}

// The last leaf linked back to the first by another user, its sum made
// whole: a seek past the last key and a walk past it answer the damage's
// status (the keys must rise from leaf to leaf), never the first record
// again nor a walk without end; seeks inside the chain go on.
TEST(Bt, ALeafChainRunInACircleIsDamage) {
  BrfTempDir d;
  BrfFile* f;
  small_file(d, 400, &f);
  BtStore& s = f->st;
  uint32_t first = bt_hdr(s).trees[0].root.get();
  while (bt_ph(page_at(s, first)).level.get() > 0) first = link_at(s, 0, first, 0).get();
  uint32_t last = first;
  while (bt_ph(page_at(s, last)).next.get() != 0) last = bt_ph(page_at(s, last)).next.get();
  ASSERT_NE(first, last);
  relink(s, last, first, false);
  int st = in_child([&] {
    std::vector<uint8_t> rec(32);
    BrfReader rd(256);
    BtCursor c;
    brf_make_rec(rec.data(), 32, 399, 0);
    rec[19] = '9' + 1;  // past the last key
    int bad = 0;
    if (brf_seek(f, 0, rec.data(), 20, BrfSeek::AtLeast, c, rd.r) != FM_ST_SYS) bad |= 1;
    brf_make_rec(rec.data(), 32, 3, 0);
    if (rd.seek(f, 0, rec.data(), 20) != 0) bad |= 2;
    uint32_t n = 0;
    if (rd.scan(f, 0, [&](const BtCursor&) { return ++n <= 400; }) != FM_ST_SYS) bad |= 4;
    if (n != 400) bad |= 8;
    return bad;
  });
  ASSERT_LT(st, 128) << "ended by signal " << st - 128 << " (14: the walk ran on)";
  EXPECT_EQ(st, 0) << "1: the seek past the end, 2: a seek inside, 4: the walk's end, 8: its count";
  brf_close(f, false);
}

// A hold of this process is not a forked child's to release: the child
// (the same store, another process) asks to release it, and it stays, as
// a second child sees; released by this process, it is gone.
TEST(Bt, AForkedChildDoesNotReleaseItsParentsHold) {
  BrfTempDir d;
  BrfFile* f;
  small_file(d, 10, &f);
  auto mine = [](void*, uint32_t) { return false; };
  ASSERT_EQ(bt_hold(f->st, 77, kUioNoWait, nullptr, mine, nullptr), 0);
  // In a child: 0 when the holder of 77 is this test's process (or none,
  // when none is).
  auto child = [&](bool release, bool held) {
    return in_child([&] {
      if (release) bt_unhold(f->st, 77);
      return bt_holder(f->st, 77) == (held ? getppid() : 0) ? 0 : 1;
    });
  };
  EXPECT_EQ(child(true, true), 0) << "the child's release took the hold";
  EXPECT_EQ(child(false, true), 0);
  bt_unhold(f->st, 77);
  EXPECT_EQ(child(false, false), 0);
  brf_close(f, false);
}

// The first free page named by another user past the header's page count
// (a page there marked free, its sum made whole): the pages a change takes
// are never the same page twice; the change answers the damage's status.
TEST(Bt, AFreePagePastThePageCountIsNeverTakenTwice) {
  BrfTempDir d;
  BrfFile* f;
  small_file(d, 10, &f);
  BtStore& s = f->st;
  const uint32_t count = bt_hdr(s).page_count.get();
  ASSERT_GT(s.isize / kBtPage, count + 1u);
  ASSERT_EQ(bt_begin(s), kBtOk);
  ASSERT_NE(bt_wpage(s, 0), nullptr);
  uint8_t* p = bt_wpage(s, count + 1);
  ASSERT_NE(p, nullptr);
  std::memset(p, 0, kBtPage);
  bt_ph(p).kind = 'F';
  bt_ph(p).page = count + 1;
  bt_hdr(s).free_head = count + 1;
  bt_hdr(s).free_count = 1;
  ASSERT_EQ(bt_commit(s), kBtOk);
  ASSERT_EQ(bt_begin(s), kBtOk);
  std::set<uint32_t> taken;
  int rc = kBtOk;
  for (int i = 0; i < 3 && rc == kBtOk; ++i) {
    uint32_t pg = 0;
    rc = bt_alloc_page(s, &pg);
    if (rc == kBtOk) {
      EXPECT_TRUE(taken.insert(pg).second) << "page " << pg << " taken twice";
    }
  }
  EXPECT_EQ(rc, kBtDamaged);
  static_cast<void>(bt_abort(s));
  brf_close(f, false);
}

// A leaf of tree 0, sealed by another user: its count at the page's room is
// sound; one past it, or the leaf marked as tree 1's, makes a seek through
// it find damage (read again), never an entry.
TEST(Bt, ALeafCountPastItsRoomOrALeafOfAnotherTreeIsDamage) {
  enum Craft { kRoom, kPastRoom, kOtherTree };
  for (Craft craft : {kRoom, kPastRoom, kOtherTree}) {
    SCOPED_TRACE(int(craft));
    BrfTempDir d;
    BrfFile* f;
    small_file(d, 400, &f);
    BtStore& s = f->st;
    const uint32_t cap = (kBtPage - kBtPageHdr) / (s.klen[0] + 4u);
    const uint32_t leaf = link_at(s, 0, bt_hdr(s).trees[0].root.get(), 0).get();
    ASSERT_EQ(bt_begin(s), kBtOk);
    uint8_t* p = bt_wpage(s, leaf);
    ASSERT_NE(p, nullptr);
    if (craft == kOtherTree) {
      bt_ph(p).tree = 1;
    } else {
      bt_ph(p).count = uint16_t(cap + (craft == kPastRoom));
    }
    ASSERT_EQ(bt_commit(s), kBtOk);
    std::vector<uint8_t> rec(32);
    brf_make_rec(rec.data(), 32, 0, 0);
    BtCursor c;
    EXPECT_EQ(bt_seek(s, 0, rec.data(), 20, false, c), craft == kRoom ? kBtOk : kBtRetry);
    brf_close(f, false);
  }
}

// A hold and the change lock naming this process's id, left by a dead
// process of the same id, are free once this process opens the file: another
// process holds that record and begins a change at once.
TEST(Bt, WhatADeadProcessOfThisIdHeldIsFreeAtTheOpen) {
  BrfTempDir d;
  BrfFile* f;
  const std::string ip = small_file(d, 10, &f);
  brf_close(f, false);
  constexpr uint32_t kRid = 4242;
  const uint32_t buckets = uint32_t(sizeof(BtHdr::holds) / 8 / kUioHoldBucket);
  const uint32_t b = uint32_t((uint64_t(kRid) * 0x9E3779B97F4A7C15ull) >> 40) % buckets;
  const uint64_t word = uint64_t(uint32_t(::getpid())) << 32 | kRid;
  const uint32_t me = uint32_t(::getpid());
  const int fd = ::open(ip.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, &word, 8, off_t(offsetof(BtHdr, holds) + b * kUioHoldBucket * 8)), 8);
  ASSERT_EQ(::pwrite(fd, &me, 4, off_t(offsetof(BtHdr, lock_owner))), 4);
  ::close(fd);
  ASSERT_EQ(brf_open(d.file("SMALL"), false, &f), 0u) << brf_error();
  int st = in_child([&] {
    auto mine = [](void*, uint32_t) { return false; };
    if (bt_hold(f->st, kRid, kUioNoWait, nullptr, mine, nullptr) != 0) return 1;
    return bt_begin(f->st) == kBtOk ? 0 : 2;
  });
  ASSERT_LT(st, 128) << "the child ended by signal " << st - 128 << " (14: it waited on)";
  EXPECT_EQ(st, 0) << "1: the hold was refused, 2: the change";
  brf_close(f, false);
}
