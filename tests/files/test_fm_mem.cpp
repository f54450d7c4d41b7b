// Memory-resident files: the index against an ordered-map oracle, work
// files, temporary files, scopes and sequential images.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "files/fm.h"
#include "files/fmcat.h"
#include "files/fm_check.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/ut.h"

namespace {

class FmMem : public ::testing::Test {
 protected:
  void SetUp() override {
    bi_init_com();
    fms_init();
    pool = mm_create_pool(" FMMEMTEST ", 0, 0);
  }
  void TearDown() override {
    fm_shutdown();
    mm_destroy_pool(pool);
  }
  uint8_t* alloc(size_t n) { return static_cast<uint8_t*>(MM_ALLOC(pool, n)); }
  MmPool pool = 0;
};

// 32-byte records: u32 id at 0 (key 0 unique, binary), 8-char name at 4
// (key 1, duplicates; keys 1: none), payload.
FmArb* make_file(FmFdb* f, uint8_t* area, const char* area_code, int scope, int keys = 2) {
  auto* kdb = reinterpret_cast<FmKdb*>(area);
  auto* sdb = reinterpret_cast<FmSdb*>(area + 2 * sizeof(FmKdb));
  init_sdb_func(&sdb[0], 1, 0, 4, FM_SEG_BINARY, '+');
  init_sdb_func(&sdb[1], 2, 4, 8, FM_SEG_ALPHA, '+');
  INIT_KDB(&kdb[0], 0, '+', 8, &sdb[0], 1);
  INIT_KDB(&kdb[1], 1, '+', 9, &sdb[1], 1);
  INIT_FDB(f, FM_CLASS_MEMORY, 32, 0, kdb, keys);
  INIT_UNIQUE_PATH(f, "TS", area_code, 1);
  if (!FM_CREATE(f, scope, 100, FM_OPT_BASE, 15, 15)) return nullptr;
  return f->handle.get();
}

// Positions h before the first record in the order of key key_no (records
// read into rec when one is given); read-next goes on from there.
bool start_first(FmArb* h, int key_no, uint8_t* rec = nullptr) {
  if (rec) h->rec.set(rec);
  h->key_no = uint8_t(key_no);
  h->op = FM_OP_FIRST;
  bool ok = fm_start(h);
  h->op = 0;
  return ok;
}

// Writes the record rec through h.
bool write_rec(FmArb* h, uint8_t* rec) {
  h->rec.set(rec);
  h->op = 0;
  return fm_write(h);
}

}  // namespace

TEST_F(FmMem, RandomOperationsMatchAnOrderedMap) {
  uint8_t* area = alloc(256);
  FmFdb f;
  FmArb* a = make_file(&f, area, "RN", com.depth);
  ASSERT_NE(a, nullptr);
  uint8_t* buf = alloc(32);
  uint8_t* rd = alloc(32);
  std::map<uint32_t, std::string> oracle;        // id -> name
  std::mt19937 rng(12345);
  auto put = [&](uint32_t id, const std::string& name) {
    std::memset(buf, ' ', 32);
    rec::view<rec::U32>(buf).set(id);
    std::memcpy(buf + 4, name.data(), name.size());
  };
  for (int step = 0; step < 30000; ++step) {
    uint32_t id = rng() % 3000;
    std::string name = "N" + std::to_string(rng() % 50);
    int op = rng() % 10;
    if (op < 5) {
      put(id, name);
      a->rec.set(buf);
      a->rec_len = 0;
      a->op = 0;
      bool ok = fm_write(a);
      ASSERT_EQ(ok, !oracle.count(id)) << step;
      if (ok) oracle[id] = name;
      else ASSERT_EQ(a->status, FM_ST_DUP_KEY);
    } else {
      put(id, "");
      std::memcpy(rd, buf, 32);
      PROTO_FULL(a, 0, rd);
      a->op = FM_OP_EQUAL | FM_OP_HOLD;
      bool found = fm_read(a);
      ASSERT_EQ(found, oracle.count(id) == 1) << step;
      if (!found) continue;
      if (op < 8) {
        ASSERT_TRUE(fm_del(a)) << a->status;
        oracle.erase(id);
      } else {
        // Rewrite under a new name (key 1 moves) and perhaps a new id.
        uint32_t nid = op == 9 ? rng() % 3000 : id;
        put(nid, name);
        a->rec.set(buf);
        a->op = 0;
        bool ok = fm_rewrite(a);
        bool clash = nid != id && oracle.count(nid);
        ASSERT_EQ(ok, !clash) << step;
        if (ok) {
          oracle.erase(id);
          oracle[nid] = name;
        } else {
          ASSERT_TRUE(fm_release(a));
        }
      }
    }
    ASSERT_EQ(fm_mem_records(a), int64_t(oracle.size())) << step;
    if (step % 5000 == 4999 || step == 29999) {
      // Key 0 in id order, key 1 in (name, write order) order.
      std::vector<uint32_t> ids, want;
      ASSERT_TRUE(start_first(a, 0, rd));
      while (fm_rdnxt(a)) ids.push_back(rec::view<rec::U32>(rd));
      ASSERT_EQ(a->status, FM_ST_EOF);
      for (auto& [k, v] : oracle) want.push_back(k);
      ASSERT_EQ(ids, want) << step;
      std::multiset<std::string> names, wnames;
      std::string last;
      ASSERT_TRUE(start_first(a, 1));
      while (fm_rdnxt(a)) {
        std::string n(reinterpret_cast<char*>(rd) + 4, 8);
        ASSERT_LE(last, n);
        last = n;
        names.insert(n);
      }
      for (auto& [k, v] : oracle) wnames.insert(v + std::string(8 - v.size(), ' '));
      ASSERT_EQ(names, wnames);
    }
  }
}

TEST_F(FmMem, ReadersSeeChangesMadeBetweenTheirReads) {
  uint8_t* area = alloc(256);
  FmFdb f;
  FmArb* a = make_file(&f, area, "RC", com.depth);
  ASSERT_NE(a, nullptr);
  FmArb* s = FM_ATTACH(a, nullptr, com.depth);
  ASSERT_NE(s, nullptr);
  uint8_t* buf = alloc(32);
  uint8_t* rd = alloc(32);
  ASSERT_TRUE(buf && rd);
  auto write = [&](uint32_t id) {
    std::memset(buf, ' ', 32);
    rec::view<rec::U32>(buf).set(id);
    a->rec.set(buf);
    a->op = 0;
    return fm_write(a);
  };
  for (uint32_t i = 0; i < 2000; i += 2) ASSERT_TRUE(write(i));
  ASSERT_TRUE(start_first(s, 0, rd));
  std::vector<uint32_t> seen;
  while (fm_rdnxt(s)) {
    uint32_t id = rec::view<rec::U32>(rd);
    seen.push_back(id);
    // Insert one behind and one ahead of the reader; delete the next even id.
    if (id < 1000 && id % 2 == 0) {
      ASSERT_TRUE(write(id + 1));
      std::memset(buf, ' ', 32);
      rec::view<rec::U32>(buf).set(id + 2);
      PROTO_FULL(a, 0, buf);
      a->op = FM_OP_EQUAL | FM_OP_HOLD;
      if (fm_read(a)) {
        ASSERT_TRUE(fm_del(a));
      }
    }
  }
  ASSERT_EQ(s->status, FM_ST_EOF);
  // Below 1000 the reader sees id, id+1 (written ahead of it), not id+2 (deleted).
  std::vector<uint32_t> want;
  for (uint32_t i = 0; i < 1000; i += 4) {
    want.push_back(i);
    want.push_back(i + 1);
  }
  for (uint32_t i = 1000; i < 2000; i += 2) want.push_back(i);
  EXPECT_EQ(seen, want);
}

// A work file whose records come and go (as the runner's bookkeeping does
// on every run): ids are never given twice, also after the file was empty,
// and a handle left on a gone record finds nothing there.
TEST_F(FmMem, RecordsThatComeAndGoNeverShareAnId) {
  uint8_t* area = alloc(256);
  FmFdb f;
  FmArb* a = make_file(&f, area, "CG", com.depth);
  ASSERT_NE(a, nullptr);
  FmArb* s = FM_ATTACH(a, nullptr, com.depth);
  ASSERT_NE(s, nullptr);
  uint8_t* key = alloc(32);
  std::set<uint32_t> ids;
  std::vector<uint8_t*> blocks;
  auto put = [&](uint8_t* b, uint32_t id, const char* name) {
    std::memset(b, ' ', 32);
    rec::view<rec::U32>(b).set(id);
    std::memcpy(b + 4, name, std::strlen(name));
  };
  auto del = [&](FmArb* h, uint32_t id) {
    put(key, id, "");
    PROTO_FULL(h, 0, key);
    if (!fm_read_fast(h, FM_OP_EQUAL | FM_OP_HOLD)) return false;
    return fm_del(h) == 1;
  };
  for (int round = 0; round < 50; ++round) {
    // Three by reference (as the runner keeps its records), two copied.
    for (uint32_t i = 0; i < 5; ++i) {
      uint8_t* b = i < 3 ? alloc(32) : key;
      put(b, i, i % 2 ? "ODD" : "EVEN");
      a->rec.set(b);
      a->rec_len = 0;
      a->op = i < 3 ? FM_OP_FAST : 0;
      ASSERT_TRUE(fm_write(a)) << round << " " << i;
      a->op = 0;
      EXPECT_TRUE(ids.insert(a->rid).second) << "id " << a->rid << " given twice";
      if (i < 3) blocks.push_back(b);
    }
    uint32_t last = a->rid;
    // The other handle stands on the last record; it goes and the file empties.
    s->rec.reset();
    ASSERT_TRUE(start_first(s, 1));
    std::vector<uint32_t> order;
    while (uint8_t* p = fm_rdnxt_fast(s, 0)) order.push_back(rec::view<rec::U32>(p));
    EXPECT_EQ(order, (std::vector<uint32_t>{0, 2, 4, 1, 3})) << round;
    s->op = 0;
    // A record held by one handle cannot be taken by the other.
    put(key, 4, "");
    PROTO_FULL(s, 0, key);
    ASSERT_NE(fm_read_fast(s, FM_OP_EQUAL | FM_OP_HOLD), nullptr);
    s->op = 0;
    EXPECT_TRUE(fails_with(del(a, 4), a, FM_ST_HELD_SELF));
    a->op = 0;
    ASSERT_TRUE(fm_del(s));
    for (uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(del(a, i)) << round << " " << i;
    a->op = 0;
    s->rid = last;
    s->op = FM_OP_RID;
    EXPECT_TRUE(fails_with(fm_read_fast(s, FM_OP_RID), s, FM_ST_NO_RECORD));
    EXPECT_EQ(MADDR(a, last), nullptr);
    EXPECT_EQ(fm_mem_records(a), 0) << round;
    s->op = FM_OP_FIRST;
    ASSERT_TRUE(fm_start(s));
    EXPECT_EQ(fm_rdnxt_fast(s, 0), nullptr);
    s->op = 0;
  }
  // The blocks kept by reference are the caller's still.
  for (uint8_t* b : blocks) EXPECT_TRUE(std::memcmp(b + 4, "ODD", 3) == 0 || std::memcmp(b + 4, "EVEN", 4) == 0);
  // Emptied for another use (fm_mem_reset): refused while the stream is
  // open on the file; then its ids start at 1 again, its keys hold nothing
  // of before, and the handle asks nothing of its last request.
  put(key, 7, "EVEN");
  ASSERT_TRUE(write_rec(a, key));
  // The file's record count, through either handle; none through a closed one.
  EXPECT_EQ(fm_mem_records(a), 1);
  EXPECT_EQ(fm_mem_records(s), 1);
  EXPECT_TRUE(fails_with(fm_mem_reset(a), a, FM_ST_SCRATCH_OPEN));
  ASSERT_TRUE(FM_CLOSE(s, 0));
  EXPECT_EQ(fm_mem_records(s), -1);
  EXPECT_TRUE(fails_with(fm_mem_reset(s), s, FM_ST_NO_STREAM));
  // Asked for a scope: the closed handle and a handle of another scope are
  // left as they are, their status too.
  s->status = 7;
  EXPECT_EQ(fm_mem_reset_in(s, s->scope), 0);
  EXPECT_EQ(s->status, 7u);
  a->op = FM_OP_HOLD;
  a->status = 7;
  EXPECT_EQ(fm_mem_reset_in(a, a->scope + 1), 0);
  EXPECT_EQ(fm_mem_records(a), 1);
  EXPECT_EQ(a->op, FM_OP_HOLD);
  EXPECT_EQ(a->status, 7u);
  ASSERT_EQ(fm_mem_reset(a), 1);
  EXPECT_EQ(fm_mem_records(a), 0);
  EXPECT_EQ(a->op, 0);
  EXPECT_EQ(a->rec.get(), nullptr);
  // In its own scope, as fm_mem_reset.
  ASSERT_TRUE(write_rec(a, key));
  a->op = FM_OP_HOLD;
  ASSERT_EQ(fm_mem_reset_in(a, a->scope), 1);
  EXPECT_EQ(fm_mem_records(a), 0);
  EXPECT_EQ(a->op, 0);
  ASSERT_TRUE(start_first(a, 1, key));
  EXPECT_EQ(fm_rdnxt_fast(a, 0), nullptr);
  for (uint32_t i = 1; i <= 3; ++i) {
    put(key, 10 - i, "EVEN");
    ASSERT_TRUE(write_rec(a, key));
    EXPECT_EQ(a->rid, i);
    EXPECT_EQ(fm_mem_records(a), int64_t(i));
  }
  ASSERT_TRUE(start_first(a, 0, key));
  std::vector<uint32_t> order;
  while (fm_rdnxt(a)) order.push_back(rec::view<rec::U32>(key));
  EXPECT_EQ(order, (std::vector<uint32_t>{7, 8, 9}));
}

TEST_F(FmMem, UniqueWorkFilesGetTheirOwnNames) {
  uint8_t* area = alloc(256);
  FmFdb f1, f2;
  ASSERT_NE(make_file(&f1, area, "UQ", com.depth), nullptr);
  ASSERT_NE(make_file(&f2, area, "UQ", com.depth), nullptr);
  EXPECT_EQ(f1.app.view(), " TS");
  EXPECT_EQ(f1.db.view(), " UQ");
  EXPECT_EQ(f1.ver.view(), "00");
  std::string n1(f1.name.view()), n2(f2.name.view());
  EXPECT_EQ(n1.size(), 8u);
  EXPECT_NE(n1, n2);
  for (char c : n1) EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(c))) << n1;
  // Reopened by its identity after a close that keeps it.
  ASSERT_TRUE(FM_CLOSE(f1.handle.get(), FM_CL_KEEP));
  FmFdb again = f1;
  ASSERT_TRUE(FM_OPEN(&again, com.depth, FM_OPT_BASE, 15, 15));
  EXPECT_EQ(fm_memfile_count(), 2u);
  // Closing with 512 removes it.
  ASSERT_TRUE(FM_CLOSE(again.handle.get(), FM_CL_SCRATCH));
  EXPECT_EQ(fm_memfile_count(), 1u);
  // A keyless work file reads in write order and by record number.
  FmFdb inst;
  INIT_INST_FDB(&inst);
  ASSERT_TRUE(FM_CREATE(&inst, com.depth, 0, FM_OPT_BASE, 15, 15)) << inst.status;
  FmArb* in = inst.handle.get();
  uint8_t* block = alloc(2024);
  for (int i = 1; i <= 3; ++i) {
    std::memset(block, 'a' + i, 2024);
    ASSERT_TRUE(write_rec(in, block));
    EXPECT_EQ(in->rid, uint32_t(i));
  }
  uint8_t* b2 = MADDR(in, 2);
  ASSERT_NE(b2, nullptr);
  EXPECT_EQ(b2[0], 'c');
  EXPECT_EQ(b2[2023], 'c');
  EXPECT_EQ(MADDR(in, 4), nullptr);
  EXPECT_EQ(in->status, FM_ST_NO_RECORD);
}

TEST_F(FmMem, MemoryFilesLiveWithTheirScope) {
  uint8_t* area = alloc(256);
  size_t base = fm_memfile_count();
  FmFdb kept;
  mark(1, [&] {
    FmFdb f;
    ASSERT_NE(make_file(&f, area, "SC", com.depth), nullptr);
    // A file owned by a pool of the outer scope survives the inner one.
    kept = f;
    kept.name.clear();
    kept.pool = pool;
    ASSERT_TRUE(FM_CREATE(&kept, com.depth, 0, FM_OPT_BASE | FM_OPT_MEMORY, 15, 15)) << kept.status;
    EXPECT_EQ(kept.scope, 0);
    EXPECT_EQ(fm_memfile_count(), base + 2);
  });
  EXPECT_EQ(fm_memfile_count(), base + 1);
  // The handle on the pool's file belongs to the pool's scope too.
  EXPECT_EQ(fm_open_count(), 1u);
  EXPECT_TRUE(FM_CLOSE(kept.handle.get(), 0));

  // Files scratched out of the middle of a scope's list, and an inner scope
  // whose release leaves the outer scope's files alone.
  mark(1, [&] {
    std::vector<FmArb*> outer;
    for (int i = 0; i < 4; ++i) {
      FmFdb f;
      outer.push_back(make_file(&f, alloc(256), "OU", com.depth));
      ASSERT_NE(outer.back(), nullptr);
    }
    EXPECT_TRUE(FM_CLOSE(outer[0], FM_CL_SCRATCH));
    mark(1, [&] {
      FmFdb f;
      ASSERT_NE(make_file(&f, alloc(256), "IN", com.depth), nullptr);
      EXPECT_EQ(fm_memfile_count(), base + 5);
    });
    EXPECT_EQ(fm_memfile_count(), base + 4);
    for (int i : {3, 1, 2}) {
      uint8_t* r = alloc(32);
      std::memset(r, 'r', 32);
      EXPECT_TRUE(write_rec(outer[size_t(i)], r)) << i;
      EXPECT_TRUE(FM_CLOSE(outer[size_t(i)], FM_CL_SCRATCH)) << i;
    }
    EXPECT_EQ(fm_memfile_count(), base + 1);
  });
  EXPECT_EQ(fm_memfile_count(), base + 1);
}

TEST_F(FmMem, TemporaryFilesAreListedAndSavedWithTheirKeys) {
  uint8_t* area = alloc(512);
  auto* kdb = reinterpret_cast<FmKdb*>(area);
  auto* sdb = reinterpret_cast<FmSdb*>(area + 4 * sizeof(FmKdb));
  int rc = mark(1, [&] {
    // Two temporary files of this process scope and one work file.
    for (const char* name : {"TMPB", "TMPA"}) {
      FmFdb t;
      INIT_QSORT_FDB(&t, kdb, sdb, com.depth);
      INIT_TMP_PATH(&t, "APP", "01", name, com.depth);
      ASSERT_TRUE(FM_CREATE(&t, com.depth, 0, FM_OPT_BASE, 15, 15)) << t.status << la_cur_sys_err();
      uint8_t* r = alloc(92);
      std::memset(r, ' ', 92);
      std::memcpy(r, "APPQUERY", 8);
      FmArb* h = t.handle.get();
      ASSERT_TRUE(write_rec(h, r));
    }
    FmFdb w;
    ASSERT_NE(make_file(&w, area + 256, "WK", com.depth), nullptr);
    // The file list work file: 72-byte FDBs keyed by the identity.
    auto* lk = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb)));
    auto* ls = reinterpret_cast<FmSdb*>(alloc(7 * sizeof(FmSdb)));
    int offs[7][3] = {{4, 3, 1}, {7, 2, 1}, {9, 8, 1}, {17, 3, 1}, {20, 3, 1}, {23, 2, 1}, {25, 1, 8}};
    for (int i = 0; i < 7; ++i) init_sdb_func(&ls[i], i + 1, offs[i][0], offs[i][1], offs[i][2], '+');
    INIT_KDB(lk, 0, '+', 8, ls, 7);
    FmFdb list;
    INIT_FDB(&list, FM_CLASS_MEMORY, 72, 0, lk, 1);
    INIT_UNIQUE_PATH(&list, "PI", "ST", 1);
    ASSERT_TRUE(FM_CREATE(&list, com.depth, 50, FM_OPT_BASE, 15, 15));
    FmArb* la = list.handle.get();
    ASSERT_TRUE(fm_find_fis(la)) << la->status;
    uint8_t* rd = alloc(72);
    ASSERT_TRUE(start_first(la, 0, rd));
    std::vector<std::string> names;
    while (fm_rdnxt(la)) {
      const FmFdb& d = rec::view<FmFdb>(rd);
      names.push_back(d.name.str());
      EXPECT_EQ(d.key_count, 1);
      ASSERT_TRUE(d.kdb);
      EXPECT_EQ(d.kdb->seg_count, 4);
      EXPECT_EQ(d.kdb->key_len, 40);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"TMPA", "TMPB"}));
    ut_unwind(2);
  });
  EXPECT_EQ(rc, 2);
  EXPECT_EQ(fm_memfile_count(), 0u);
}

TEST_F(FmMem, SequentialImagesOfMemoryFiles) {
  char tmpl[] = "/tmp/quvo-fmm-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  setenv("QUVOPATH", tmpl, 1);
  uint8_t* area = alloc(256);
  FmFdb f;
  FmArb* a = make_file(&f, area, "SV", com.depth);
  ASSERT_NE(a, nullptr);
  uint8_t* buf = alloc(32);
  for (uint32_t i = 5; i > 0; --i) {
    std::memset(buf, ' ', 32);
    rec::view<rec::U32>(buf).set(i * 10);
    std::memcpy(buf + 4, "NAME", 4);
    ASSERT_TRUE(write_rec(a, buf));
  }
  FmFdb seq;
  INIT_FDB(&seq, FM_CLASS_DISK, FM_MAX_REC, 1, nullptr, 0);
  INIT_DB_PATH(&seq, "", "TAP", "01", "EMSAVE", FM_PT_MOD);
  ASSERT_TRUE(FM_CREATE(&seq, com.depth, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) << la_cur_sys_err();
  FmArb* sq = seq.handle.get();
  EXPECT_EQ(fm_mem_records(sq), -1);   // not a memory file
  // Two files one after the other, then a marker record.
  ASSERT_TRUE(mm_save_fi(sq, a));
  ASSERT_TRUE(mm_save_fi(sq, a));
  std::memcpy(buf, "SAAS", 4);
  sq->rec.set(buf);
  sq->rec_len = 4;
  sq->op = 0;
  ASSERT_TRUE(fm_write(sq));
  // A record that begins as an image's head but is longer than one.
  std::memcpy(buf, "FMSV\0\0\0\0MORE", 12);
  sq->rec_len = 12;
  ASSERT_TRUE(fm_write(sq));
  ASSERT_TRUE(FM_CLOSE(sq, FM_CL_KEEP));
  FmName nm;
  ASSERT_TRUE(FM_OPEN(&seq, com.depth, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 1, 15));
  sq = seq.handle.get();
  ASSERT_TRUE(fm_nam(sq, &nm));
  EXPECT_EQ(std::string(nm.text, nm.len), std::string(tmpl) + "/mod/TAP01/EMSAVE");
  for (int copy = 0; copy < 2; ++copy) {
    FmFdb g;
    uint8_t* area2 = alloc(256);
    auto* kdb = reinterpret_cast<FmKdb*>(area2);
    auto* sdb = reinterpret_cast<FmSdb*>(area2 + 2 * sizeof(FmKdb));
    init_sdb_func(&sdb[0], 1, 0, 4, FM_SEG_BINARY, '+');
    INIT_KDB(&kdb[0], 0, '+', 8, &sdb[0], 1);
    INIT_FDB(&g, FM_CLASS_MEMORY, 32, 0, kdb, 1);
    INIT_UNIQUE_PATH(&g, "LD", "CP", 1);
    ASSERT_TRUE(mm_load_fi(&g, sq, com.depth)) << g.status << la_cur_sys_err();
    FmArb* h = g.handle.get();
    ASSERT_TRUE(start_first(h, 0, buf));
    std::vector<uint32_t> ids;
    while (fm_rdnxt(h)) ids.push_back(rec::view<rec::U32>(buf));
    EXPECT_EQ(ids, (std::vector<uint32_t>{10, 20, 30, 40, 50}));
  }
  sq->rec.set(buf);
  sq->rec_len = 32;
  sq->op = 0;
  ASSERT_TRUE(fm_rdnxt(sq));
  EXPECT_EQ(sq->len_read, 4);
  EXPECT_EQ(std::memcmp(buf, "SAAS", 4), 0);
  // A memory file cannot be loaded from a record that is not a saved image.
  FmFdb bad;
  INIT_FDB(&bad, FM_CLASS_MEMORY, 32, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&bad, "LD", "BD", 1);
  EXPECT_TRUE(fails_with(mm_load_fi(&bad, sq, com.depth), bad, FM_ST_SYS));
  EXPECT_FALSE(mm_load_fi(&bad, sq, com.depth));
  std::string cmd = std::string("rm -rf ") + tmpl;
  (void)!std::system(cmd.c_str());
}

TEST_F(FmMem, DeepTreesWithWideKeys) {
  // A 200-byte key gives about 20 entries a node, so a few thousand records
  // make a tree of four levels; inserts, deletes and seeks against std::set.
  auto* kdb = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb)));
  auto* sdb = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb)));
  init_sdb_func(sdb, 1, 0, 200, FM_SEG_ALPHA, '+');
  INIT_KDB(kdb, 0, '+', 8, sdb, 1);
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_MEMORY, 210, 0, kdb, 1);
  INIT_UNIQUE_PATH(&f, "TS", "WK", 1);
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_BASE, 15, 15));
  FmArb* a = f.handle.get();
  uint8_t* buf = alloc(210);
  uint8_t* key = alloc(200);
  std::set<std::string> oracle;
  std::mt19937 rng(7);
  auto key_of = [](uint32_t v) {
    char t[16];
    std::snprintf(t, sizeof t, "%07u", v);
    return std::string(t) + std::string(193, 'k');
  };
  for (int step = 0; step < 12000; ++step) {
    uint32_t v = rng() % 6000;
    std::string k = key_of(v);
    std::memset(buf, ' ', 210);
    std::memcpy(buf, k.data(), 200);
    if (rng() % 3) {
      a->rec.set(buf);
      a->op = 0;
      ASSERT_EQ(fm_write(a) == 1, oracle.insert(k).second) << step;
    } else {
      PROTO_FULL(a, 0, buf);
      a->op = FM_OP_EQUAL | FM_OP_HOLD;
      bool found = fm_read(a);
      ASSERT_EQ(found, oracle.count(k) == 1) << step;
      if (found) {
        ASSERT_TRUE(fm_del(a));
        oracle.erase(k);
      }
    }
    if (step % 997 == 0) {
      // Seek by a 4-character prefix: the first key at or above it.
      std::string pre = key_of(rng() % 6000).substr(0, 4);
      std::memcpy(key, pre.data(), 4);
      a->rec.set(buf);
      a->key.set(key);
      a->key_len = 4;
      a->key_no = 0;
      a->op = FM_OP_KEY | FM_OP_GE;
      auto it = oracle.lower_bound(pre);
      bool found = fm_read(a);
      ASSERT_EQ(found, it != oracle.end()) << step;
      if (found) {
        ASSERT_EQ(std::string(reinterpret_cast<char*>(buf), 200), *it);
      }
    }
  }
  ASSERT_TRUE(start_first(a, 0, buf));
  auto it = oracle.begin();
  size_t n = 0;
  while (fm_rdnxt(a)) {
    ASSERT_NE(it, oracle.end());
    ASSERT_EQ(std::string(reinterpret_cast<char*>(buf), 200), *it++);
    ++n;
  }
  EXPECT_EQ(n, oracle.size());
  EXPECT_GT(n, 2000u);
}

// Records written together into trees of three levels, and after the last
// index block was emptied by deletes, against records written one at a
// time and an ordered map; in files of two keys and of one (whose runs in
// its order go after the greatest entry), a run going on among the records
// there, and a run ended by a duplicate.
TEST_F(FmMem, RecordsWrittenTogetherIntoDeepTrees) {
  for (int keys : {2, 1}) {
    SCOPED_TRACE(keys);
    uint8_t* area_a = alloc(256);
    uint8_t* area_b = alloc(256);
    FmFdb fa, fb;
    FmArb* a = make_file(&fa, area_a, keys == 2 ? "WA" : "WC", com.depth, keys);
    FmArb* b = make_file(&fb, area_b, keys == 2 ? "WB" : "WD", com.depth, keys);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::map<uint32_t, std::string> oracle;
    uint8_t* one = alloc(32);
    // want: the records the run takes (the next one a duplicate).
    auto both = [&](const std::vector<uint32_t>& ids, size_t want) {
      std::vector<uint8_t> run(ids.size() * 32, ' ');
      for (size_t i = 0; i < ids.size(); ++i) {
        rec::view<rec::U32>(run.data() + 32 * i).set(ids[i]);
        std::string n = "N" + std::to_string(ids[i] % 40);
        std::memcpy(run.data() + 32 * i + 4, n.data(), n.size());
        if (i < want) oracle[ids[i]] = n;
      }
      ASSERT_EQ(fm_write_all(a, run.data(), uint32_t(ids.size())), int(want)) << a->status;
      EXPECT_EQ(a->status, want < ids.size() ? FM_ST_DUP_KEY : 0u);
      for (size_t i = 0; i < ids.size(); ++i) {
        std::memcpy(one, run.data() + 32 * i, 32);
        ASSERT_EQ(write_rec(b, one), i < want ? 1 : 0);
        if (i == want) break;
      }
      if (want) {
        EXPECT_EQ(a->rid, b->rid);
      }
    };
    auto del = [&](uint32_t id) {
      for (FmArb* h : {a, b}) {
        std::memset(one, ' ', 32);
        rec::view<rec::U32>(one).set(id);
        PROTO_FULL(h, 0, one);
        h->op = FM_OP_EQUAL | FM_OP_HOLD;
        ASSERT_TRUE(fm_read(h));
        ASSERT_TRUE(fm_del(h));
      }
      oracle.erase(id);
    };
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < 40000; ++i) ids.push_back(10 + 2 * i);
    both(ids, ids.size());
    // The last 400 go: the last index block of key 0 is empty.
    for (uint32_t i = 39600; i < 40000; ++i) del(10 + 2 * i);
    ids.clear();
    for (uint32_t i = 0; i < 50; ++i) ids.push_back(11 + 2 * i);   // among them
    for (uint32_t i = 0; i < 50; ++i) ids.push_back(100000 + i);   // after all
    both(ids, ids.size());
    // After all, then among them; after all, then one there already.
    ids.clear();
    for (uint32_t i = 0; i < 30; ++i) ids.push_back(200000 + i);
    for (uint32_t i = 0; i < 30; ++i) ids.push_back(211 + 2 * i);
    both(ids, ids.size());
    both({300000, 300001, 300002, 200005, 300003}, 3);
    both({300003, 300003}, 1);
    for (int key = 0; key < keys; ++key) {
      std::vector<std::pair<std::string, uint32_t>> in_a, in_b;
      for (auto [h, out] : {std::pair{a, &in_a}, std::pair{b, &in_b}}) {
        ASSERT_TRUE(start_first(h, key, one));
        while (fm_rdnxt(h)) out->emplace_back(std::string(reinterpret_cast<char*>(one), 32), uint32_t(h->rid));
        ASSERT_EQ(h->status, FM_ST_EOF);
      }
      EXPECT_TRUE(in_a == in_b) << "key " << key;
      if (key == 0) {
        ASSERT_EQ(in_a.size(), oracle.size());
        auto it = oracle.begin();
        for (auto& [bytes, rid] : in_a) EXPECT_EQ(rec::view<rec::U32>(reinterpret_cast<const uint8_t*>(bytes.data())).get(), (it++)->first);
      }
    }
  }
}

// The append path (fm_mem_append) against fm_write on a twin file: the
// same records under the same ids, up to the record length and refused
// (nothing written) one past it, at 0 bytes and for files it does not take.
TEST_F(FmMem, AppendedRecordsAreWhatWritesMake) {
  FmFdb fa, fb, keyed, fixed;
  INIT_FDB(&fa, FM_CLASS_MEMORY, 16, 1, nullptr, 0);
  INIT_UNIQUE_PATH(&fa, "TS", "AA", 1);
  INIT_FDB(&fb, FM_CLASS_MEMORY, 16, 1, nullptr, 0);
  INIT_UNIQUE_PATH(&fb, "TS", "AB", 1);
  INIT_FDB(&fixed, FM_CLASS_MEMORY, 16, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&fixed, "TS", "AC", 1);
  ASSERT_TRUE(FM_CREATE(&fa, com.depth, 0, FM_OPT_BASE, 15, 15));
  ASSERT_TRUE(FM_CREATE(&fb, com.depth, 0, FM_OPT_BASE, 15, 15));
  ASSERT_TRUE(FM_CREATE(&fixed, com.depth, 0, FM_OPT_BASE, 15, 15));
  FmArb* a = fa.handle.get();
  FmArb* b = fb.handle.get();
  uint8_t* rec = alloc(32);
  for (int i = 0; i < 32; ++i) rec[i] = uint8_t('a' + i);
  for (uint16_t len : {1, 9, 16, 17, 0, 3}) {
    a->key_no = 1;
    a->op = FM_OP_HOLD;
    a->status = 1;
    bool put = fm_mem_append(a, rec + len % 7, len);
    ASSERT_EQ(put, len && len <= 16) << len;
    if (!put) {
      EXPECT_EQ(a->op, FM_OP_HOLD) << len;
      EXPECT_EQ(a->status, 1u) << len;
      continue;
    }
    PROTO_FULL(b, 0, rec + len % 7);
    b->rec_len = len;
    ASSERT_TRUE(fm_write(b)) << len;
    b->rec_len = 0;
    EXPECT_EQ(a->rid, b->rid) << len;
    EXPECT_EQ(a->status, 0u);
    EXPECT_EQ(a->key_no, 0);
    EXPECT_EQ(a->op, 0);
  }
  ASSERT_EQ(fm_mem_records(a), 4);
  ASSERT_EQ(fm_mem_records(b), 4);
  ASSERT_TRUE(start_first(a, 0));
  ASSERT_TRUE(start_first(b, 0));
  a->op = b->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(b, 0)) {
    uint8_t* q = fm_rdnxt_fast(a, 0);
    ASSERT_NE(q, nullptr);
    ASSERT_EQ(a->len_read, b->len_read);
    EXPECT_EQ(std::memcmp(p, q, b->len_read), 0);
  }
  EXPECT_EQ(fm_rdnxt_fast(a, 0), nullptr);
  // Files it does not take: keys, fixed-length records, a closed handle.
  uint8_t* area = alloc(256);
  ASSERT_NE(make_file(&keyed, area, "AD", com.depth), nullptr);
  EXPECT_FALSE(fm_mem_append(keyed.handle.get(), rec, 8));
  EXPECT_FALSE(fm_mem_append(fixed.handle.get(), rec, 16));
  EXPECT_EQ(fm_mem_records(keyed.handle.get()), 0);
  EXPECT_EQ(fm_mem_records(fixed.handle.get()), 0);
  ASSERT_TRUE(FM_CLOSE(a, 0));
  EXPECT_FALSE(fm_mem_append(a, rec, 8));
  EXPECT_FALSE(fm_mem_append(nullptr, rec, 8));
}

// Keys of every segment form (text, binary of 1, 2, 4 and 8 bytes, a
// descending one, segments apart in the record and next to each other), the
// records written one at a time and together: each key reads in the order
// of the segments' values, ties in write order, and a unique key refuses its
// duplicates.
TEST_F(FmMem, KeysOfEveryFormReadInTheirValuesOrder) {
  auto* kdb = reinterpret_cast<FmKdb*>(alloc(2 * sizeof(FmKdb)));
  auto* sdb = reinterpret_cast<FmSdb*>(alloc(8 * sizeof(FmSdb)));
  // Key 0 (unique): text 0+2, binary 2+2, 4+4, 8+1, text 9+2, binary 16+8.
  // Key 1 (duplicates): binary 24+3 descending, text 28+2.
  init_sdb_func(&sdb[0], 1, 0, 2, FM_SEG_ALPHA, '+');
  init_sdb_func(&sdb[1], 2, 2, 2, FM_SEG_BINARY, '+');
  init_sdb_func(&sdb[2], 3, 4, 4, FM_SEG_BINARY, '+');
  init_sdb_func(&sdb[3], 4, 8, 1, FM_SEG_BINARY, '+');
  init_sdb_func(&sdb[4], 5, 9, 2, FM_SEG_ALPHA, '+');
  init_sdb_func(&sdb[5], 6, 16, 8, FM_SEG_BINARY, '+');
  init_sdb_func(&sdb[6], 7, 24, 3, FM_SEG_BINARY, '-');
  init_sdb_func(&sdb[7], 8, 28, 2, FM_SEG_ALPHA, '+');
  INIT_KDB(&kdb[0], 0, '+', 0, &sdb[0], 6);
  INIT_KDB(&kdb[1], 1, '+', FM_KEY_DUP, &sdb[6], 2);
  struct Vals {
    std::string a, e, s;
    uint16_t b;
    uint32_t c, d;
    uint8_t x;
    uint64_t f;
  };
  std::mt19937 rng(29);
  // Few values each, so that keys tie on their first segments.
  auto make = [&] {
    Vals v;
    v.a = std::string(1, char('A' + rng() % 2)) + char('A' + rng() % 2);
    v.b = uint16_t(rng() % 2 ? 0x0102 : 0x0201);
    v.c = rng() % 2 ? 0x01000002u : 0x02000001u;
    v.x = uint8_t(rng() % 3);
    v.e = std::string(1, char('a' + rng() % 2)) + char('a' + rng() % 2);
    v.f = rng() % 2 ? 0x0100000000000002ull : 0x0200000000000001ull;
    v.d = std::array<uint32_t, 3>{0x000100u, 0x000001u, 0x000002u}[rng() % 3];
    v.s = std::string(1, char('x' + rng() % 3)) + 'y';
    return v;
  };
  auto bytes = [](const Vals& v, uint8_t* r) {
    std::memset(r, ' ', 32);
    std::memcpy(r, v.a.data(), 2);
    std::memcpy(r + 2, &v.b, 2);   // (binary segments: little-endian numbers)
    std::memcpy(r + 4, &v.c, 4);
    r[8] = v.x;
    std::memcpy(r + 9, v.e.data(), 2);
    std::memcpy(r + 16, &v.f, 8);
    std::memcpy(r + 24, &v.d, 4);
    std::memcpy(r + 28, v.s.data(), 2);
  };
  auto key0 = [](const Vals& v) { return std::tuple(v.a, v.b, v.c, v.x, v.e, v.f); };
  for (bool together : {false, true}) {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_MEMORY, 32, 0, kdb, 2);
    INIT_UNIQUE_PATH(&f, "TS", together ? "KT" : "KO", 1);
    ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_BASE, 15, 15));
    FmArb* h = f.handle.get();
    std::vector<Vals> written;   // by record id - 1
    std::set<decltype(key0(Vals{}))> seen;
    std::vector<uint8_t> run;
    uint8_t* one = alloc(32);
    for (int i = 0; i < 600; ++i) {
      Vals v = make();
      bool dup = !seen.insert(key0(v)).second;
      bytes(v, one);
      if (together && !dup) {
        run.insert(run.end(), one, one + 32);
        if (run.size() == 32 * 50 || i == 599) {
          ASSERT_EQ(fm_write_all(h, run.data(), uint32_t(run.size() / 32)), int(run.size() / 32));
          run.clear();
        }
      } else if (together) {
        // A duplicate ends the run before it: the run goes in, it does not.
        ASSERT_EQ(fm_write_all(h, run.data(), uint32_t(run.size() / 32)), int(run.size() / 32));
        run.clear();
        ASSERT_EQ(fm_write_all(h, one, 1), 0);
        ASSERT_EQ(h->status, FM_ST_DUP_KEY);
      } else {
        ASSERT_EQ(write_rec(h, one) == 1, !dup) << i;
        if (dup) {
          ASSERT_EQ(h->status, FM_ST_DUP_KEY);
        }
      }
      if (!dup) written.push_back(v);
    }
    ASSERT_TRUE(run.empty() || fm_write_all(h, run.data(), uint32_t(run.size() / 32)) == int(run.size() / 32));
    std::vector<uint32_t> want0(written.size()), want1(written.size());
    for (uint32_t i = 0; i < written.size(); ++i) want0[i] = want1[i] = i;
    std::sort(want0.begin(), want0.end(), [&](uint32_t x, uint32_t y) { return key0(written[x]) < key0(written[y]); });
    std::stable_sort(want1.begin(), want1.end(), [&](uint32_t x, uint32_t y) {
      return std::tuple(~written[x].d, written[x].s) < std::tuple(~written[y].d, written[y].s);
    });
    for (int key = 0; key < 2; ++key) {
      std::vector<uint32_t> got;
      ASSERT_TRUE(start_first(h, key, one));
      while (fm_rdnxt(h)) got.push_back(uint32_t(h->rid) - 1);
      ASSERT_EQ(h->status, FM_ST_EOF);
      EXPECT_EQ(got, key ? want1 : want0) << "key " << key << (together ? " together" : " one at a time");
    }
  }
}

namespace {

// Whether an address is an open handle, against the set of handles open:
// closed handles, handles whose blocks serve new handles (a block is taken
// again after more than 1,024 closes), blocks of a pool, the last address
// the arena can read a handle at and the one after.
TEST_F(FmMem, HandlesAreToldFromOtherAddresses) {
  uint8_t* area = alloc(2 * sizeof(FmKdb) + 2 * sizeof(FmSdb));
  std::set<const void*> open, seen;
  std::vector<FmArb*> handles;
  size_t made = 0;
  std::mt19937 rng(3);
  for (int step = 0; step < 5000; ++step) {
    if (handles.empty() || rng() % 8 < 5) {
      FmFdb f;
      FmArb* h = make_file(&f, area, "HA", 0);
      ASSERT_NE(h, nullptr);
      handles.push_back(h);
      open.insert(h);
      seen.insert(h);
      ++made;
    } else {
      size_t i = rng() % handles.size();
      ASSERT_TRUE(FM_CLOSE(handles[i], FM_CL_SCRATCH));
      open.erase(handles[i]);
      handles[i] = handles.back();
      handles.pop_back();
    }
    if (step % 250 != 0 && step <= 4900) continue;
    for (const void* p : seen) ASSERT_EQ(fm_is_handle(p), open.count(p) == 1) << step;
  }
  EXPECT_LT(seen.size(), made);   // blocks of closed handles were taken again
  EXPECT_FALSE(fm_is_handle(nullptr));
  EXPECT_FALSE(fm_is_handle(area));
  int local = 0;
  EXPECT_FALSE(fm_is_handle(&local));
  const uint8_t* end = arena::base() + arena::committed();
  EXPECT_FALSE(fm_is_handle(end - sizeof(FmArb)));
  EXPECT_FALSE(fm_is_handle(end - sizeof(FmArb) + 1));
  EXPECT_FALSE(fm_is_handle(end - 1));  // its fields would lie past what is readable
  for (FmArb* h : handles) FM_CLOSE(h, FM_CL_SCRATCH);
}

}  // namespace
