// The record-interface contract, written against fm.h only and run for
// every back end (the memory-resident one here; others instantiate the
// suite from their own test files, see fm_contract.h).
#include "files/fm_contract.h"

#include "files/fm_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/ut.h"

namespace {

// The test record (64 bytes):
//   0-9    code     alpha        key 0, unique
//   10-13  number   u32 binary   key 1, duplicates allowed
//   14-21  group    alpha, descending  } key 2, duplicates allowed
//   22-23  seq      u16 binary         }
//   24-63  payload
constexpr int kLen = 64;

MmPool g_pool;
const FmBackendParam* g_param;  // the back end of the running test

uint8_t* alloc(size_t n) { return static_cast<uint8_t*>(MM_ALLOC(g_pool, n)); }

struct Rec {
  uint8_t* p;
  explicit Rec(const std::string& code = "", uint32_t num = 0, const std::string& group = "", uint16_t seq = 0,
               const std::string& payload = "") {
    p = alloc(kLen);
    std::memset(p, ' ', kLen);
    set(code, num, group, seq, payload);
  }
  void set(const std::string& code, uint32_t num, const std::string& group, uint16_t seq,
           const std::string& payload = "") {
    std::memset(p, ' ', kLen);
    std::memcpy(p, code.data(), std::min<size_t>(code.size(), 10));
    rec::view<rec::U32>(p + 10).set(num);
    std::memcpy(p + 14, group.data(), std::min<size_t>(group.size(), 8));
    rec::view<rec::U16>(p + 22).set(seq);
    std::memcpy(p + 24, payload.data(), std::min<size_t>(payload.size(), 40));
  }
  std::string code() const { return rec::view<rec::Text<10>>(p).str(); }
  uint32_t num() const { return rec::view<rec::U32>(p + 10); }
};

std::string code_of(const uint8_t* p) { return rec::view<rec::Text<10>>(p).str(); }

}  // namespace

void FmContract::SetUp() {
  char tmpl[] = "/tmp/quvo-fm-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  setenv("QUVOPATH", dir_.c_str(), 1);
  bi_init_com();
  fms_init();
  g_param = &GetParam();
  g_pool = mm_create_pool(" FMTEST    ", 0, 0);
  if (GetParam().setup) GetParam().setup();
}

void FmContract::TearDown() {
  fm_shutdown();
  if (GetParam().teardown) GetParam().teardown();
  mm_destroy_pool(g_pool);
  std::string cmd = "rm -rf '" + dir_ + "'";
  (void)!std::system(cmd.c_str());
}

namespace {

// Describes the test file with its three keys.
FmFdb describe(const char* name, int var = 0) {
  auto* kdb = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb) * 3));
  auto* sdb = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb) * 4));
  init_sdb_func(&sdb[0], 1, 0, 10, FM_SEG_ALPHA, '+');
  init_sdb_func(&sdb[1], 2, 10, 4, FM_SEG_BINARY, '+');
  init_sdb_func(&sdb[2], 3, 14, 8, FM_SEG_ALPHA, '-');
  init_sdb_func(&sdb[3], 4, 22, 2, FM_SEG_BINARY, '+');
  INIT_KDB(&kdb[0], 0, '+', 8, &sdb[0], 1);
  INIT_KDB(&kdb[1], 1, '+', 9, &sdb[1], 1);
  INIT_KDB(&kdb[2], 2, '+', 9, &sdb[2], 2);
  FmFdb f;
  INIT_FDB(&f, g_param->fclass, kLen, var, kdb, 3);
  INIT_DB_PATH(&f, "TST", "TAP", "01", name, FM_PT_DATA);
  return f;
}

uint32_t opts() { return FM_OPT_BASE | (g_param->fclass == FM_CLASS_DISK ? FM_OPT_NO_SYSDIR : 0); }

FmArb* create(const char* name, int var = 0) {
  FmFdb f = describe(name, var);
  if (!FM_CREATE(&f, com.depth, 0, opts(), 15, 15)) {
    ADD_FAILURE() << "create " << name << " status " << f.status << " " << la_cur_sys_err();
    return nullptr;
  }
  return f.handle.get();
}

int write(FmArb* a, const Rec& r) {
  a->rec.set(r.p);
  a->rec_len = 0;
  a->op = 0;
  return fm_write(a);
}

// Reads by key number from a record-shaped key buffer.
int read_eq(FmArb* a, int key, const Rec& k, uint8_t* into, uint16_t op = FM_OP_EQUAL) {
  std::memcpy(into, k.p, kLen);
  PROTO_FULL(a, key, into);
  a->op = op;
  return fm_read(a);
}

int start_first(FmArb* a, int key) {
  a->key_no = uint8_t(key);
  a->op = FM_OP_FIRST;
  return fm_start(a);
}

std::vector<std::string> read_all(FmArb* a, int key, uint8_t* buf) {
  std::vector<std::string> out;
  a->rec.set(buf);
  a->rec_len = 0;
  if (!start_first(a, key)) return {"start failed"};
  a->op = 0;
  while (fm_rdnxt(a)) out.push_back(code_of(buf));
  if (a->status != FM_ST_EOF) out.push_back("status " + std::to_string(a->status));
  return out;
}

// Writes the records in order; false at the first one refused.
bool write_all(FmArb* a, std::initializer_list<Rec> recs) {
  for (const Rec& r : recs)
    if (!write(a, r)) return ADD_FAILURE() << r.code() << " status " << a->status, false;
  return true;
}

using V = std::vector<std::string>;

// The payload bytes of a record buffer.
std::string payload(const uint8_t* b, size_t n) { return std::string(reinterpret_cast<const char*>(b) + 24, n); }

// A copy of n bytes in the pool.
uint8_t* pooled(const void* bytes, size_t n) {
  return static_cast<uint8_t*>(std::memcpy(alloc(n + 1), bytes, n));
}

// Gives the handle a key by bytes and length in key key_no.
void set_key(FmArb* a, int key_no, const void* bytes, uint16_t len) {
  a->key.set(pooled(bytes, len));
  a->key_len = len;
  a->key_no = uint8_t(key_no);
}

// The binary key 1 (u32 little-endian) holding n.
void set_num_key(FmArb* a, uint32_t n) {
  uint8_t b[4];
  rec::view<rec::U32>(b).set(n);
  set_key(a, 1, b, 4);
}

int rewrite(FmArb* a, uint8_t* r) {
  a->rec.set(r);
  a->op = 0;
  return fm_rewrite(a);
}

// A key-range stream control block over key 0; range byte 0 makes a bound
// inclusive, 16 exclusive; an empty bound is none.
FmScb* range_scb(const char* lo, int lor, const char* hi, int hir) {
  auto* r = reinterpret_cast<FmScbRange*>(alloc(sizeof(FmScbRange)));
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->head.type = FM_SCB_RANGE;
  r->lo_range = uint8_t(lor);
  r->hi_range = uint8_t(hir);
  r->lo_len = uint16_t(std::strlen(lo));
  r->hi_len = uint16_t(std::strlen(hi));
  if (r->lo_len) r->lo_key.set(pooled(lo, r->lo_len));
  if (r->hi_len) r->hi_key.set(pooled(hi, r->hi_len));
  return &r->head;
}

// A sequential session file of the test application, created in f.
FmArb* create_seq(const char* name, FmFdb* f) {
  INIT_FDB(f, FM_CLASS_DISK, FM_MAX_REC, 1, nullptr, 0);
  INIT_DB_PATH(f, "TST", "TAP", "01", name, FM_PT_SESS);
  if (FM_CREATE(f, com.depth, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) return f->handle.get();
  ADD_FAILURE() << "create " << name << " status " << f->status << " " << la_cur_sys_err();
  return nullptr;
}

}  // namespace

TEST_P(FmContract, CreateOpenLocateScratch) {
  FmFdb f = describe("CUST");
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, opts(), 15, 15)) << f.status;
  FmArb* a = f.handle.get();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(memcmp(fm_path(a) + 4, "TAP01CUST    TST", 16), 0);
  ASSERT_TRUE(write(a, Rec("A1", 1)));

  FmFdb again = describe("CUST");
  EXPECT_TRUE(fails_with(FM_CREATE(&again, com.depth, 0, opts(), 15, 15), again, FM_ST_EXISTS));

  FmFdb loc = describe("CUST");
  EXPECT_TRUE(fm_locate(&loc));
  FmFdb scr = describe("CUST");
  EXPECT_TRUE(fails_with(FM_SCRATCH(&scr, 0), scr, FM_ST_SCRATCH_OPEN));
  EXPECT_TRUE(FM_CLOSE(a, 0));

  // A second open finds the record; its descriptor comes from the file.
  FmFdb o;
  INIT_FDB(&o, g_param->fclass, kLen, 0, nullptr, 0);
  INIT_DB_PATH(&o, "TST", "TAP", "01", "CUST", FM_PT_DATA);
  ASSERT_TRUE(FM_OPEN(&o, com.depth, opts(), 15, 15)) << o.status;
  uint8_t* buf = alloc(kLen);
  EXPECT_EQ(read_all(o.handle.get(), 0, buf), V{"A1"});
  EXPECT_TRUE(FM_CLOSE(o.handle.get(), 0));

  EXPECT_TRUE(FM_SCRATCH(&scr, 0)) << scr.status;
  EXPECT_TRUE(fails_with(fm_locate(&loc), loc, FM_ST_NOT_FOUND));
  FmFdb miss = describe("CUST");
  EXPECT_TRUE(fails_with(FM_OPEN(&miss, com.depth, opts(), 15, 15), miss, FM_ST_NOT_FOUND));
  EXPECT_EQ(miss.handle.get(), nullptr);
  EXPECT_TRUE(fails_with(FM_SCRATCH(&miss, 0), miss, FM_ST_NOT_FOUND));

  // Open with "create when missing"; a scope deeper than the current one is
  // the current one.
  FmFdb cr = describe("NEWONE");
  EXPECT_TRUE(FM_OPEN(&cr, com.depth + 1, opts() | FM_OPT_CREATE, 15, 15)) << cr.status;
  EXPECT_EQ(cr.scope, com.depth);
  EXPECT_EQ(fm_open_count(), 1u);
}

TEST_P(FmContract, KeyedReadsAndStatuses) {
  FmArb* a = create("KEYS");
  ASSERT_NE(a, nullptr);
  for (auto [c, n] : std::vector<std::pair<std::string, uint32_t>>{{"B", 20}, {"D", 40}, {"A", 10}, {"C", 30}})
    ASSERT_TRUE(write(a, Rec(c, n))) << a->status;
  uint8_t* buf = alloc(kLen);

  // Exact key from the record buffer.
  ASSERT_TRUE(read_eq(a, 0, Rec("C"), buf));
  EXPECT_EQ(Rec().code(), "");
  EXPECT_EQ(rec::view<rec::U32>(buf + 10).get(), 30u);
  EXPECT_EQ(a->len_read, kLen);
  // Not there.
  EXPECT_TRUE(fails_with(read_eq(a, 0, Rec("BB"), buf), a, FM_ST_NO_RECORD));
  // Greater or equal.
  ASSERT_TRUE(read_eq(a, 0, Rec("BB"), buf, FM_OP_GE));
  EXPECT_EQ(code_of(buf), "C");
  // First of a key.
  ASSERT_TRUE(read_eq(a, 1, Rec("ZZ"), buf, FM_OP_FIRST));
  EXPECT_EQ(code_of(buf), "A");
  // Key given by pointer and length: binary key 1 (u32 little-endian).
  set_num_key(a, 40);
  a->op = FM_OP_KEY | FM_OP_EQUAL;
  ASSERT_TRUE(fm_read(a));
  EXPECT_EQ(code_of(buf), "D");
  EXPECT_EQ(a->op, FM_OP_KEY | FM_OP_EQUAL);  // the operation word is left as it was
  // A key prefix: the first record whose key begins with it.
  set_key(a, 0, "B", 1);
  ASSERT_TRUE(fm_read(a));
  EXPECT_EQ(code_of(buf), "B");
  // Re-read by record id.
  uint32_t rid = a->rid;
  ASSERT_TRUE(read_eq(a, 0, Rec("D"), buf));
  a->rid = rid;
  a->op = FM_OP_RID;
  ASSERT_TRUE(fm_read(a));
  EXPECT_EQ(code_of(buf), "B");

  EXPECT_EQ(read_all(a, 0, buf), (V{"A", "B", "C", "D"}));
  EXPECT_EQ(read_all(a, 1, buf), (V{"A", "B", "C", "D"}));
}

TEST_P(FmContract, DuplicateKeysAndOrder) {
  FmArb* a = create("DUPS");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write_all(a, {Rec("X1", 7, "G", 1), Rec("X2", 7, "G", 1), Rec("X3", 5, "G", 1), Rec("X0", 7, "G", 1)}));
  // A duplicate of the unique key is refused and changes nothing.
  EXPECT_TRUE(fails_with(write(a, Rec("X2", 99, "H", 1)), a, FM_ST_DUP_KEY));
  uint8_t* buf = alloc(kLen);
  EXPECT_EQ(read_all(a, 0, buf), (V{"X0", "X1", "X2", "X3"}));
  // Duplicates of key 1 come in the order they were written.
  EXPECT_EQ(read_all(a, 1, buf), (V{"X3", "X1", "X2", "X0"}));
  set_num_key(a, 99);
  a->op = FM_OP_KEY | FM_OP_EQUAL;
  EXPECT_TRUE(fails_with(fm_read(a), a, FM_ST_NO_RECORD));
}

TEST_P(FmContract, SegmentTypesAndOrder) {
  FmArb* a = create("SEGS");
  ASSERT_NE(a, nullptr);
  // Binary segments order by value, not by byte; the descending alpha
  // segment of key 2 puts "B" before "A"; its u16 ascends within a group.
  ASSERT_TRUE(write_all(a, {Rec("R1", 256, "A", 2), Rec("R2", 1, "B", 300), Rec("R3", 65536, "A", 1),
                           Rec("R4", 2, "B", 5), Rec("R5", 0xFFFFFFFFu, "A", 256)}));
  uint8_t* buf = alloc(kLen);
  EXPECT_EQ(read_all(a, 1, buf), (V{"R2", "R4", "R1", "R3", "R5"}));
  EXPECT_EQ(read_all(a, 2, buf), (V{"R4", "R2", "R3", "R1", "R5"}));
}

TEST_P(FmContract, StartPositionsAndEnd) {
  FmArb* a = create("START");
  ASSERT_NE(a, nullptr);
  for (const char* c : {"AA", "AB", "BA", "BB", "CA"}) ASSERT_TRUE(write(a, Rec(c, 1)));
  uint8_t* buf = alloc(kLen);
  a->rec.set(buf);
  set_key(a, 0, "B", 1);
  // 34: at least the key (a prefix here).
  a->op = FM_OP_AT | FM_OP_KEY;
  ASSERT_TRUE(fm_start(a));
  a->op = 0;
  ASSERT_TRUE(fm_rdnxt(a));
  EXPECT_EQ(code_of(buf), "BA");
  // 50: greater than the key.
  set_key(a, 0, "BA        ", 10);
  a->op = FM_OP_AT | FM_OP_KEY | FM_OP_GE;
  ASSERT_TRUE(fm_start(a));
  a->op = 0;
  ASSERT_TRUE(fm_rdnxt(a));
  EXPECT_EQ(code_of(buf), "BB");
  // 34 with the range byte 16 is the same as 50.
  a->op = FM_OP_AT | FM_OP_KEY;
  a->range = 16;
  ASSERT_TRUE(fm_start(a));
  a->range = 0;
  a->op = 0;
  ASSERT_TRUE(fm_rdnxt(a));
  EXPECT_EQ(code_of(buf), "BB");
  ASSERT_TRUE(fm_rdnxt(a));
  EXPECT_EQ(code_of(buf), "CA");
  EXPECT_TRUE(fails_with(fm_rdnxt(a), a, FM_ST_EOF));
  EXPECT_TRUE(fails_with(fm_rdnxt(a), a, FM_ST_EOF));
  // A start beyond every key: the first read is the end.
  set_key(a, 0, "ZZ", 2);
  a->op = FM_OP_AT | FM_OP_KEY;
  ASSERT_TRUE(fm_start(a));
  a->op = 0;
  EXPECT_TRUE(fails_with(fm_rdnxt(a), a, FM_ST_EOF));
  // Read-next after a read continues from that record; read-next with the
  // first bit starts over.
  ASSERT_TRUE(read_eq(a, 0, Rec("AB"), buf));
  a->op = 0;
  ASSERT_TRUE(fm_rdnxt(a));
  EXPECT_EQ(code_of(buf), "BA");
  a->op = FM_OP_FIRST;
  ASSERT_TRUE(fm_rdnxt(a));
  EXPECT_EQ(code_of(buf), "AA");
}

TEST_P(FmContract, ReadNextInAnotherKeyGoesOnFromTheRecord) {
  FmArb* a = create("SWITCH");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write_all(a, {Rec("A", 3), Rec("B", 1), Rec("C", 2), Rec("D", 4)}));
  uint8_t* buf = alloc(kLen);
  ASSERT_TRUE(read_eq(a, 0, Rec("C"), buf));
  a->key_no = 1;  // number order: B1 C2 A3 D4
  a->op = 0;
  ASSERT_TRUE(fm_rdnxt(a));
  EXPECT_EQ(code_of(buf), "A");
  ASSERT_TRUE(fm_rdnxt(a));
  EXPECT_EQ(code_of(buf), "D");
}

TEST_P(FmContract, HoldsRewriteDeleteRelease) {
  FmArb* a = create("HOLDS");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write_all(a, {Rec("K1", 1, "", 0, "first"), Rec("K2", 2)}));
  uint8_t* buf = alloc(kLen);
  uint8_t* buf2 = alloc(kLen);
  FmArb* b = FM_ATTACH(a, nullptr, com.depth);
  ASSERT_NE(b, nullptr);

  // Rewrite and delete need a held record.
  a->rec.set(buf);
  EXPECT_TRUE(fails_with(fm_rewrite(a), a, FM_ST_NOT_HELD));
  EXPECT_TRUE(fails_with(fm_del(a), a, FM_ST_NOT_HELD));

  ASSERT_TRUE(read_eq(a, 0, Rec("K1"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  // Another handle of this process: held, still delivered.
  std::memset(buf2, 0, kLen);
  EXPECT_TRUE(fails_with(read_eq(b, 0, Rec("K1"), buf2, FM_OP_EQUAL | FM_OP_HOLD), b, FM_ST_HELD_SELF));
  EXPECT_EQ(code_of(buf2), "K1");
  EXPECT_EQ(payload(buf2, 5), "first");
  // A read without hold is not refused.
  EXPECT_TRUE(read_eq(b, 0, Rec("K1"), buf2));
  // A read without hold leaves the earlier hold in place.
  EXPECT_TRUE(read_eq(a, 0, Rec("K2"), buf2));

  std::memcpy(buf + 24, "second", 6);
  ASSERT_TRUE(rewrite(a, buf)) << a->status;
  EXPECT_FALSE(fm_rewrite(a));  // the hold went with the rewrite
  EXPECT_EQ(a->status, FM_ST_NOT_HELD);
  ASSERT_TRUE(read_eq(b, 0, Rec("K1"), buf2, FM_OP_EQUAL | FM_OP_HOLD)) << b->status;
  EXPECT_EQ(payload(buf2, 6), "second");
  EXPECT_TRUE(fm_release(b));
  ASSERT_TRUE(read_eq(a, 0, Rec("K1"), buf, FM_OP_EQUAL | FM_OP_HOLD)) << a->status;
  EXPECT_TRUE(fm_release(a));
  EXPECT_TRUE(fails_with(fm_del(a), a, FM_ST_NOT_HELD));

  ASSERT_TRUE(read_eq(a, 0, Rec("K1"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  ASSERT_TRUE(fm_del(a));
  EXPECT_TRUE(fails_with(read_eq(a, 0, Rec("K1"), buf), a, FM_ST_NO_RECORD));
  EXPECT_EQ(read_all(b, 0, buf2), V{"K2"});
  EXPECT_TRUE(fm_detach(b));
  EXPECT_TRUE(fails_with(fm_detach(b), b, FM_ST_NO_STREAM));
}

TEST_P(FmContract, RewriteMovesKeysAndKeepsUniqueness) {
  FmArb* a = create("MOVE");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write_all(a, {Rec("M1", 10, "G", 1), Rec("M2", 20, "G", 2)}));
  uint8_t* buf = alloc(kLen);
  ASSERT_TRUE(read_eq(a, 0, Rec("M1"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  // To another record's unique key: refused, nothing changes, still held.
  EXPECT_TRUE(fails_with(rewrite(a, Rec("M2", 11, "G", 1).p), a, FM_ST_DUP_KEY));
  EXPECT_EQ(read_all(a, 1, buf), (V{"M1", "M2"}));
  ASSERT_TRUE(read_eq(a, 0, Rec("M1"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  ASSERT_TRUE(rewrite(a, Rec("M9", 30, "A", 1).p)) << a->status;
  EXPECT_FALSE(read_eq(a, 0, Rec("M1"), buf));
  ASSERT_TRUE(read_eq(a, 0, Rec("M9"), buf));
  EXPECT_EQ(read_all(a, 0, buf), (V{"M2", "M9"}));
  EXPECT_EQ(read_all(a, 1, buf), (V{"M2", "M9"}));
  EXPECT_EQ(read_all(a, 2, buf), (V{"M2", "M9"}));
}

TEST_P(FmContract, DeleteAllAndRecordIds) {
  FmArb* a = create("RIDS");
  ASSERT_NE(a, nullptr);
  std::vector<uint32_t> rids;
  for (const char* c : {"P", "Q", "R"}) {
    ASSERT_TRUE(write(a, Rec(c, 1)));
    rids.push_back(a->rid);
  }
  EXPECT_NE(rids[0], rids[1]);
  EXPECT_NE(rids[1], rids[2]);
  uint8_t* buf = alloc(kLen);
  a->rec.set(buf);
  a->rid = rids[1];
  a->op = FM_OP_RID | FM_OP_HOLD;
  ASSERT_TRUE(fm_read(a));
  EXPECT_EQ(code_of(buf), "Q");
  ASSERT_TRUE(fm_del(a));
  a->rid = rids[1];
  a->op = FM_OP_RID;
  EXPECT_TRUE(fails_with(fm_read(a), a, FM_ST_NO_RECORD));
  ASSERT_TRUE(fm_del_all(a));
  EXPECT_EQ(read_all(a, 0, buf), V{});
  ASSERT_TRUE(write(a, Rec("P", 1)));
  EXPECT_EQ(read_all(a, 0, buf), V{"P"});
}

TEST_P(FmContract, StreamsOverKeyRanges) {
  FmArb* a = create("RANGE");
  ASSERT_NE(a, nullptr);
  for (const char* c : {"A1", "B1", "B2", "B3", "C1"}) ASSERT_TRUE(write(a, Rec(c, 1)));
  uint8_t* buf = alloc(kLen);
  a->rec.set(buf);
  auto range = range_scb;
  // Inclusive bounds.
  FmArb* s = FM_ATTACH(a, range("B1", 0, "B3", 0), com.depth);
  ASSERT_NE(s, nullptr) << a->status << la_cur_sys_err();
  EXPECT_EQ(read_all(s, 0, buf), (V{"B1", "B2", "B3"}));
  // Exclusive bounds.
  FmArb* x = FM_ATTACH(a, range("B1", 16, "B3", 16), com.depth);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(read_all(x, 0, buf), (V{"B2"}));
  // A key prefix: both bounds the prefix.
  FmArb* pre = FM_ATTACH(a, range("B", 0, "B", 0), com.depth);
  ASSERT_NE(pre, nullptr);
  EXPECT_EQ(read_all(pre, 0, buf), (V{"B1", "B2", "B3"}));
  // A read by key outside the range finds nothing; inside it does.
  EXPECT_TRUE(fails_with(read_eq(pre, 0, Rec("C1"), buf), pre, FM_ST_NO_RECORD));
  EXPECT_TRUE(read_eq(pre, 0, Rec("B2"), buf));
  // A start before the range starts at its low bound.
  set_key(pre, 0, "A", 1);
  pre->op = FM_OP_AT | FM_OP_KEY;
  ASSERT_TRUE(fm_start(pre));
  pre->op = 0;
  ASSERT_TRUE(fm_rdnxt(pre));
  EXPECT_EQ(code_of(buf), "B1");
  // An exclusive bound excludes its own key from reads by key too; a range
  // of key 0 does not restrict reads in another key.
  EXPECT_TRUE(fails_with(read_eq(x, 0, Rec("B1"), buf), x, FM_ST_NO_RECORD));
  EXPECT_EQ(read_all(s, 1, buf), (V{"A1", "B1", "B2", "B3", "C1"}));
  // Records written through the file's handle show in its streams.
  ASSERT_TRUE(write(a, Rec("B25", 1)));
  EXPECT_EQ(read_all(s, 0, buf), (V{"B1", "B2", "B25", "B3"}));
  // Deleting all through a stream removes its range only; a record of it
  // held by another handle fails the delete, which says so.
  ASSERT_TRUE(read_eq(a, 0, Rec("B2"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  EXPECT_TRUE(fails_with(fm_del_all(x), x, FM_ST_HELD_SELF));
  ASSERT_TRUE(fm_release(a));
  ASSERT_TRUE(fm_del_all(x)) << x->status;
  EXPECT_EQ(read_all(a, 0, buf), (V{"A1", "B1", "B3", "C1"}));
  // A bound longer than the key, or a key that does not exist: refused.
  EXPECT_EQ(FM_ATTACH(a, range("B12345678901", 0, "", 0), com.depth), nullptr);
  EXPECT_EQ(a->status, FM_ST_SYS);
  // Closing the file's handle detaches its streams.
  size_t before = fm_open_count();
  EXPECT_EQ(before, 4u);
  EXPECT_TRUE(FM_CLOSE(a, 0));
  EXPECT_EQ(fm_open_count(), 0u);
  s->op = 0;
  EXPECT_TRUE(fails_with(fm_rdnxt(s), s, FM_ST_NO_STREAM));
}

TEST_P(FmContract, KeyConstraintsAndQueryStreams) {
  FmArb* a = create("CNS");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write_all(a, {Rec("C1", 5, "G1", 1), Rec("C2", 6, "G1", 2), Rec("C3", 5, "G2", 3),
                           Rec("C4", 5, "G1", 4)}));
  uint8_t* buf = alloc(kLen);
  a->rec.set(buf);
  // Constraints: number 5 and group "G1".
  auto* c = reinterpret_cast<FmScbCns*>(alloc(sizeof(FmScbCns)));
  auto* e = reinterpret_cast<FmCns*>(alloc(2 * sizeof(FmCns)));
  uint8_t* v = alloc(12);
  rec::view<rec::U32>(v).set(5);
  std::memcpy(v + 4, "G1      ", 8);
  e[0].id = 1;
  e[0].offset = 10;
  e[0].length = 4;
  e[1].id = 2;
  e[1].offset = 14;
  e[1].length = 8;
  c->head.type = FM_SCB_CNS;
  c->len = 12;
  c->values.set(v);
  c->count = 2;
  c->entries.set(e);
  FmArb* s = FM_ATTACH(a, &c->head, com.depth);
  ASSERT_NE(s, nullptr) << la_cur_sys_err();
  EXPECT_EQ(read_all(s, 0, buf), (V{"C1", "C4"}));
  EXPECT_TRUE(fails_with(read_eq(s, 0, Rec("C3"), buf), s, FM_ST_NO_RECORD));

  // A query stream needs the query engine; without one the attach fails.
  auto* q = reinterpret_cast<FmScbQuery*>(alloc(sizeof(FmScbQuery)));
  q->head.type = FM_SCB_PCF_QUERY;
  q->app.set("TAP");
  q->name.set("MY QUERY");
  EXPECT_EQ(FM_ATTACH(a, &q->head, com.depth), nullptr);
  EXPECT_EQ(a->status, FM_ST_SYS);
}

TEST_P(FmContract, VariableRecords) {
  FmArb* a = create("VAR", 1);
  ASSERT_NE(a, nullptr);
  Rec r1("V1", 1, "", 0, "short");
  a->rec.set(r1.p);
  a->rec_len = 30;
  a->op = 0;
  ASSERT_TRUE(fm_write(a));
  Rec r2("V2", 2, "", 0, "full length");
  a->rec.set(r2.p);
  a->rec_len = 0;
  ASSERT_TRUE(fm_write(a));
  // Longer than the file's records: refused.
  a->rec_len = kLen + 1;
  EXPECT_TRUE(fails_with(fm_write(a), a, FM_ST_SYS));
  EXPECT_FALSE(la_cur_sys_err().empty());

  uint8_t* buf = alloc(kLen);
  ASSERT_TRUE(read_eq(a, 0, Rec("V1"), buf));
  EXPECT_EQ(a->len_read, 30);
  ASSERT_TRUE(read_eq(a, 0, Rec("V2"), buf));
  EXPECT_EQ(a->len_read, kLen);
  // A buffer shorter than the record: what fits, and 200590.
  std::memset(buf, '.', kLen);
  a->rec_len = 20;
  a->op = FM_OP_EQUAL;
  a->key_no = 0;
  std::memcpy(buf, "V2        ", 10);
  EXPECT_TRUE(fails_with(fm_read(a), a, FM_ST_TOO_LONG));
  EXPECT_EQ(a->len_read, kLen);
  EXPECT_EQ(buf[19], ' ');
  EXPECT_EQ(buf[20], '.');
  // A rewrite changes the length.
  a->rec_len = 0;
  ASSERT_TRUE(read_eq(a, 0, Rec("V1"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  a->rec_len = 50;
  a->op = 0;
  ASSERT_TRUE(fm_rewrite(a));
  a->rec_len = 0;
  ASSERT_TRUE(read_eq(a, 0, Rec("V1"), buf));
  EXPECT_EQ(a->len_read, 50);
}

TEST_P(FmContract, BadInputGetsAStatus) {
  FmArb* a = create("BAD");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write(a, Rec("OK", 1)));
  uint8_t* buf = alloc(kLen);
  a->rec.set(buf);
  // A key longer than its descriptor.
  uint8_t* k = alloc(32);
  std::memset(k, 'A', 32);
  a->key.set(k);
  a->key_len = 11;
  a->key_no = 0;
  a->op = FM_OP_KEY | FM_OP_EQUAL;
  EXPECT_TRUE(fails_with(fm_read(a), a, FM_ST_SYS));
  a->op = FM_OP_AT | FM_OP_KEY;
  EXPECT_TRUE(fails_with(fm_start(a), a, FM_ST_SYS));
  // A key number the file does not have.
  a->key_no = 7;
  a->op = FM_OP_FIRST;
  EXPECT_TRUE(fails_with(fm_start(a), a, FM_ST_SYS));
  EXPECT_TRUE(fails_with(fm_rdnxt(a), a, FM_ST_SYS));
  // A record longer than the file's.
  a->key_no = 0;
  a->rec_len = kLen + 10;
  EXPECT_TRUE(fails_with(fm_write(a), a, FM_ST_SYS));
  // No record buffer.
  a->rec.reset();
  a->rec_len = 0;
  a->op = 0;
  EXPECT_TRUE(fails_with(fm_write(a), a, FM_ST_SYS));
  // A segment outside the record at create.
  FmFdb f = describe("BAD2");
  f.rec_len = 20;
  EXPECT_TRUE(fails_with(FM_CREATE(&f, com.depth, 0, opts(), 15, 15), f, FM_ST_SYS));
  // A read-only handle cannot write.
  FmFdb ro = describe("BAD");
  ASSERT_TRUE(FM_OPEN(&ro, com.depth, opts(), 1, 15)) << ro.status;
  FmArb* r = ro.handle.get();
  EXPECT_TRUE(fails_with(write(r, Rec("NEW", 2)), r, FM_ST_SYS));
  // A closed handle.
  EXPECT_TRUE(FM_CLOSE(r, 0));
  EXPECT_TRUE(fails_with(fm_read(r), r, FM_ST_NO_STREAM));
  EXPECT_TRUE(fails_with(FM_CLOSE(r, 0), r, FM_ST_NO_STREAM));
  EXPECT_TRUE(fails_with(fm_release(r), r, FM_ST_NO_STREAM));
}

TEST_P(FmContract, KeyCompare) {
  FmArb* a = create("CMP");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write(a, Rec("M", 1)));
  uint8_t* buf = alloc(kLen);
  ASSERT_TRUE(read_eq(a, 0, Rec("M"), buf));
  set_key(a, 0, "M         ", 10);
  EXPECT_EQ(fm_key_cmp(a), 0);
  set_key(a, 0, "A         ", 10);
  EXPECT_EQ(fm_key_cmp(a), 1);
  set_key(a, 0, "Z", 1);
  EXPECT_EQ(fm_key_cmp(a), -1);
}

TEST_P(FmContract, FilesAndHandlesBelongToTheirScope) {
  FmArb* outer = create("SCOPED");
  ASSERT_NE(outer, nullptr);
  ASSERT_TRUE(write(outer, Rec("S0", 1)));
  FmArb* inner = nullptr;
  FmArb* stream = nullptr;
  int rc = mark(5, [&] {
    FmFdb f = describe("SCOPED");
    ASSERT_TRUE(FM_OPEN(&f, com.depth, opts(), 15, 15));
    inner = f.handle.get();
    ASSERT_TRUE(write(inner, Rec("S1", 1)));
    stream = FM_ATTACH(outer, nullptr, com.depth);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(fm_open_count(), 3u);
    ut_unwind(3);
  });
  EXPECT_EQ(rc, 3);
  EXPECT_EQ(fm_open_count(), 1u);
  EXPECT_TRUE(fails_with(fm_rdnxt(inner), inner, FM_ST_NO_STREAM));
  EXPECT_TRUE(fails_with(fm_rdnxt(stream), stream, FM_ST_NO_STREAM));
  uint8_t* buf = alloc(kLen);
  EXPECT_EQ(read_all(outer, 0, buf), (V{"S0", "S1"}));
}

TEST_P(FmContract, ReplaceAndSaveLoad) {
  FmArb* a = create("SRC");
  ASSERT_NE(a, nullptr);
  for (const char* c : {"R2", "R1", "R3"}) ASSERT_TRUE(write(a, Rec(c, 1)));
  // Save into a sequential file and load into a new file.
  FmFdb seq;
  FmArb* sq = create_seq("SAVED", &seq);
  ASSERT_NE(sq, nullptr);
  ASSERT_TRUE(fm_save_fi(sq, a)) << sq->status << la_cur_sys_err();
  ASSERT_TRUE(FM_CLOSE(sq, FM_CL_KEEP));
  ASSERT_TRUE(FM_OPEN(&seq, com.depth, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 1, 15)) << seq.status;
  sq = seq.handle.get();
  FmFdb copy = describe("COPY");
  copy.options = opts();
  ASSERT_TRUE(fm_load_fi(&copy, sq, com.depth)) << copy.status << la_cur_sys_err();
  uint8_t* buf = alloc(kLen);
  EXPECT_EQ(read_all(copy.handle.get(), 0, buf), (V{"R1", "R2", "R3"}));
  EXPECT_TRUE(FM_CLOSE(copy.handle.get(), 0));
  EXPECT_TRUE(FM_CLOSE(sq, FM_CL_SCRATCH));
  FmFdb gone = seq;
  EXPECT_FALSE(fm_locate(&gone));

  // Replace: the copy becomes the target, the source goes.
  EXPECT_TRUE(FM_CLOSE(a, 0));
  FmFdb target = describe("TARGET");
  ASSERT_TRUE(FM_CREATE(&target, com.depth, 0, opts(), 15, 15));
  ASSERT_TRUE(write(target.handle.get(), Rec("OLD", 1)));
  ASSERT_TRUE(FM_CLOSE(target.handle.get(), 0));
  FmFdb t2 = describe("TARGET"), s2 = describe("COPY");
  t2.options = s2.options = opts();
  ASSERT_TRUE(fm_replace(&t2, &s2, 0)) << t2.status << la_cur_sys_err();
  EXPECT_FALSE(fm_locate(&s2));
  FmFdb t3 = describe("TARGET");
  ASSERT_TRUE(FM_OPEN(&t3, com.depth, opts(), 15, 15));
  EXPECT_EQ(read_all(t3.handle.get(), 0, buf), (V{"R1", "R2", "R3"}));
  // Keep flag 1: the source is scratched, the target stays.
  FmFdb s4 = describe("SRC"), t4 = describe("TARGET");
  s4.options = t4.options = opts();
  EXPECT_TRUE(fm_replace(&t4, &s4, 1));
  EXPECT_FALSE(fm_locate(&s4));
}

TEST_P(FmContract, FastReadsAndRecordsByReference) {
  if (!GetParam().memory) GTEST_SKIP() << "memory-resident files only";
  FmArb* a = create("BYREF");
  ASSERT_NE(a, nullptr);
  // Stored by reference: the file keeps the caller's block.
  Rec block("REF", 1, "", 0, "mine");
  a->rec.set(block.p);
  a->op = FM_OP_FAST;
  ASSERT_TRUE(fm_write(a));
  uint32_t rid = a->rid;
  ASSERT_TRUE(write(a, Rec("COPY", 2)));
  uint8_t* key = alloc(kLen);
  std::memcpy(key, Rec("REF").p, kLen);
  PROTO_FULL(a, 0, key);
  uint8_t* got = fm_read_fast(a, FM_OP_EQUAL);
  EXPECT_EQ(got, block.p);
  EXPECT_EQ(MADDR(a, rid), block.p);
  // A record copied into the file: its address, changes through it stay.
  std::memcpy(key, Rec("COPY").p, kLen);
  uint8_t* c = fm_read_fast(a, FM_OP_EQUAL);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(c, key);
  std::memcpy(c + 24, "changed", 7);
  uint8_t* buf = alloc(kLen);
  ASSERT_TRUE(read_eq(a, 0, Rec("COPY"), buf));
  EXPECT_EQ(payload(buf, 7), "changed");
  // Read-next fast walks the records themselves.
  a->key_no = 0;
  a->op = FM_OP_FIRST;
  ASSERT_TRUE(fm_start(a));
  EXPECT_EQ(code_of(fm_rdnxt_fast(a, 0)), "COPY");
  EXPECT_EQ(fm_rdnxt_fast(a, 0), block.p);
  EXPECT_EQ(fm_rdnxt_fast(a, 0), nullptr);
  // A by-reference record whose key changed in place is re-indexed by a rewrite.
  ASSERT_TRUE(read_eq(a, 0, Rec("REF"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  std::memcpy(block.p, "ZREF      ", 10);
  ASSERT_TRUE(rewrite(a, block.p)) << a->status;
  EXPECT_EQ(read_all(a, 0, buf), (V{"COPY", "ZREF"}));
  // Deleting it leaves the caller's block alone.
  ASSERT_TRUE(read_eq(a, 0, Rec("ZREF"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  ASSERT_TRUE(fm_del(a));
  EXPECT_EQ(code_of(block.p), "ZREF");
  EXPECT_EQ(MADDR(a, rid), nullptr);
}

TEST_P(FmContract, TwoOpensOfOneFileAgree) {
  FmArb* a = create("TWICE");
  ASSERT_NE(a, nullptr);
  FmFdb f = describe("TWICE");
  ASSERT_TRUE(FM_OPEN(&f, com.depth, opts(), 15, 15)) << f.status;
  FmArb* b = f.handle.get();
  for (const char* c : {"A", "B", "C", "D"}) ASSERT_TRUE(write(a, Rec(c, 1)));
  uint8_t* buf = alloc(kLen);
  uint8_t* bb = alloc(kLen);
  EXPECT_EQ(read_all(b, 0, bb), (V{"A", "B", "C", "D"}));
  // b stands on A while a adds a record after it, moves B to the end by a
  // rewrite and deletes C: b's next reads see all three changes.
  ASSERT_TRUE(read_eq(b, 0, Rec("A"), bb));
  ASSERT_TRUE(write(a, Rec("A5", 1)));
  ASSERT_TRUE(read_eq(a, 0, Rec("B"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  ASSERT_TRUE(rewrite(a, Rec("Z", 2).p)) << a->status;
  ASSERT_TRUE(read_eq(a, 0, Rec("C"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  ASSERT_TRUE(fm_del(a));
  b->op = 0;
  V seen;
  while (fm_rdnxt(b)) seen.push_back(code_of(bb) + ":" + std::to_string(rec::view<rec::U32>(bb + 10).get()));
  EXPECT_EQ(b->status, FM_ST_EOF);
  EXPECT_EQ(seen, (V{"A5:1", "D:1", "Z:2"}));
  // A hold of one open is another handle's to the other: delivered with
  // 200520, also when the read would wait (it must not wait for itself).
  ASSERT_TRUE(read_eq(a, 0, Rec("D"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  std::memset(bb, 0, kLen);
  EXPECT_TRUE(fails_with(read_eq(b, 0, Rec("D"), bb, FM_OP_EQUAL | FM_OP_HOLD), b, FM_ST_HELD_SELF));
  EXPECT_EQ(code_of(bb), "D");
  b->lock_wait = -1;
  EXPECT_TRUE(fails_with(read_eq(b, 0, Rec("D"), bb, FM_OP_EQUAL | FM_OP_HOLD | FM_OP_WAIT), b, FM_ST_HELD_SELF));
  // Closing a lets its hold go; b's hold then outlives a third open's close.
  ASSERT_TRUE(FM_CLOSE(a, 0));
  ASSERT_TRUE(read_eq(b, 0, Rec("D"), bb, FM_OP_EQUAL | FM_OP_HOLD)) << b->status;
  FmFdb g = describe("TWICE");
  ASSERT_TRUE(FM_OPEN(&g, com.depth, opts(), 15, 15)) << g.status;
  FmArb* c = g.handle.get();
  ASSERT_TRUE(FM_CLOSE(c, 0));
  FmFdb h = describe("TWICE");
  ASSERT_TRUE(FM_OPEN(&h, com.depth, opts(), 15, 15)) << h.status;
  c = h.handle.get();
  EXPECT_TRUE(fails_with(read_eq(c, 0, Rec("D"), buf, FM_OP_EQUAL | FM_OP_HOLD), c, FM_ST_HELD_SELF));
  rec::view<rec::U32>(bb + 10).set(9);
  b->op = 0;
  ASSERT_TRUE(fm_rewrite(b)) << b->status;
  ASSERT_TRUE(read_eq(c, 0, Rec("D"), buf));
  EXPECT_EQ(rec::view<rec::U32>(buf + 10).get(), 9u);
}

TEST_P(FmContract, CreateOrOpenFindsTheFileThere) {
  FmArb* a = create("EITHER");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write(a, Rec("E1", 1)));
  ASSERT_TRUE(FM_CLOSE(a, FM_CL_KEEP));
  // The create options of a data file that is then written (6274 holds
  // "open when present"): the file and its record are there.
  FmFdb f = describe("EITHER");
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, opts() | 6274, 15, 15)) << f.status;
  uint8_t* buf = alloc(kLen);
  EXPECT_EQ(read_all(f.handle.get(), 0, buf), V{"E1"});
  ASSERT_TRUE(write(f.handle.get(), Rec("E2", 2)));
  FmFdb g = describe("EITHER2");
  ASSERT_TRUE(FM_CREATE(&g, com.depth, 0, opts() | 6274, 15, 15)) << g.status;
  EXPECT_EQ(read_all(g.handle.get(), 0, buf), V{});
}

namespace {
// A stand-in query engine: its streams deliver one record "Q1", then a
// sort-level end, then the end of the file; 4 starts over (the end comes
// after 50 reads, started over or not).
struct FakeQuery {
  static inline int attaches = 0, detaches = 0, closes = 0, reads = 0, calls = 0;
  static inline const FmScb* cns = nullptr;
  static inline bool redirect = true;
  static int rdnxt(FmArb*, FmArb* s) {
    if (s->op & FM_OP_FIRST) reads = 0;
    if (++calls > 50) return s->status = FM_ST_EOF, 0;
    ++reads;
    if (reads == 1) {
      std::memset(s->rec.get(), ' ', kLen);
      std::memcpy(s->rec.get(), "Q1", 2);
      s->len_read = kLen;
      return 1;
    }
    s->status = reads == 2 ? FM_ST_LEVEL_END : FM_ST_EOF;
    return 0;
  }
  static int start(FmArb*, FmArb*) { return reads = 0, 1; }
  static int close(FmArb*, FmArb*) { return ++closes, 1; }
  static int detach(FmArb*, FmArb*) { return ++detaches, 1; }
  static const FmHandlers* table() {
    static const FmHandlers t = [] {
      FmHandlers h{};
      h.type = FM_BE_QUERY;
      h.rdnxt = rdnxt;
      h.start = start;
      h.close = close;
      h.detach = detach;
      return h;
    }();
    return &t;
  }
  static void* attach(FmArb*, FmArb* stream, FmScb* constraints) {
    ++attaches;
    cns = constraints;
    if (redirect) fm_set_handlers(stream, table());
    return stream;
  }
};
}  // namespace

TEST_P(FmContract, QueryStreamsGoToTheQueryEngine) {
  FmArb* a = create("QUERY");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write(a, Rec("R1", 1)));
  FakeQuery::attaches = FakeQuery::detaches = FakeQuery::closes = FakeQuery::reads = FakeQuery::calls = 0;
  FakeQuery::redirect = true;
  fm_set_query_attach(FakeQuery::attach);
  auto* q = reinterpret_cast<FmScbQuery*>(alloc(sizeof(FmScbQuery)));
  std::memset(static_cast<void*>(q), 0, sizeof *q);
  q->head.type = FM_SCB_PCF_QUERY;
  auto* c = reinterpret_cast<FmScbCns*>(alloc(sizeof(FmScbCns)));
  std::memset(static_cast<void*>(c), 0, sizeof *c);
  c->head.type = FM_SCB_CNS;
  q->head.next.set(&c->head);
  uint8_t* buf = alloc(kLen);
  a->rec.set(buf);
  FmArb* s = FM_ATTACH(a, &q->head, com.depth);
  ASSERT_NE(s, nullptr) << a->status;
  EXPECT_EQ(FakeQuery::attaches, 1);
  ASSERT_NE(FakeQuery::cns, nullptr);
  EXPECT_EQ(FakeQuery::cns->type, FM_SCB_CNS);  // the file manager's copy of the constraints
  s->op = 0;
  ASSERT_TRUE(fm_rdnxt(s));
  EXPECT_EQ(code_of(buf), "Q1");
  EXPECT_TRUE(fails_with(fm_rdnxt(s), s, FM_ST_LEVEL_END));
  EXPECT_TRUE(fails_with(fm_rdnxt(s), s, FM_ST_EOF));
  // Operations the engine does not offer answer 200650.
  EXPECT_TRUE(fails_with(fm_write(s), s, FM_ST_SYS));
  ASSERT_TRUE(FM_CLOSE(s, FM_CL_KEEP));
  EXPECT_EQ(FakeQuery::closes, 1);
  EXPECT_EQ(FakeQuery::detaches, 1);
  // A range that refuses the first record after a start over: the reads go
  // on past it, they do not start over again.
  auto* r = reinterpret_cast<FmScbRange*>(range_scb("Q2", 0, "", 0));
  r->head.next.set(&q->head);
  s = FM_ATTACH(a, &r->head, com.depth);
  ASSERT_NE(s, nullptr) << a->status << la_cur_sys_err();
  s->rec.set(buf);
  s->key_no = 0;
  s->op = FM_OP_FIRST;
  FakeQuery::calls = 0;
  EXPECT_TRUE(fails_with(fm_rdnxt(s), s, FM_ST_LEVEL_END));
  EXPECT_EQ(FakeQuery::calls, 2);
  EXPECT_EQ(s->op, FM_OP_FIRST);
  EXPECT_TRUE(fm_detach(s));
  // An engine that attaches without giving the stream its operations leaves
  // a stream whose every operation answers 200650; nothing reaches the file.
  FakeQuery::redirect = false;
  s = FM_ATTACH(a, &q->head, com.depth);
  ASSERT_NE(s, nullptr);
  s->rec.set(buf);
  s->op = FM_OP_FIRST;
  EXPECT_TRUE(fails_with(fm_read(s), s, FM_ST_SYS));
  s->op = 0;
  EXPECT_TRUE(fails_with(fm_rdnxt(s), s, FM_ST_SYS));
  EXPECT_FALSE(fm_write(s));
  EXPECT_TRUE(fm_detach(s));
  fm_set_query_attach(nullptr);
  EXPECT_EQ(read_all(a, 0, buf), V{"R1"});
}

TEST_P(FmContract, KeyBytesPastAShortRecordAreZero) {
  FmArb* a = create("SHORT", 1);
  ASSERT_NE(a, nullptr);
  // 12 bytes: the code and half of the number; the buffer beyond holds a
  // group and a sequence that are not part of the record.
  Rec s("S", 0x00050001u, "G", 2);
  a->rec.set(s.p);
  a->rec_len = 12;
  a->op = 0;
  ASSERT_TRUE(fm_write(a));
  ASSERT_TRUE(write(a, Rec("T", 1)));
  uint8_t* buf = alloc(kLen);
  uint8_t* k = alloc(10);
  auto by_key = [&](int key, const void* bytes, uint16_t len) {
    std::memcpy(k, bytes, len);
    a->rec.set(buf);
    a->rec_len = 0;
    a->key.set(k);
    a->key_len = len;
    a->key_no = uint8_t(key);
    a->op = FM_OP_KEY | FM_OP_EQUAL;
    return fm_read(a) ? code_of(buf) : "status " + std::to_string(a->status);
  };
  EXPECT_EQ(by_key(1, "\x01\x00\x00\x00", 4), "S");  // the number is 1 as far as the record goes
  EXPECT_EQ(by_key(1, "\x01\x00\x05\x00", 4), "status 200450");
  EXPECT_EQ(by_key(2, "G       \x02\x00", 10), "status 200450");
  EXPECT_EQ(by_key(2, "\0\0\0\0\0\0\0\0\0\0", 10), "S");
  EXPECT_EQ(a->len_read, 12);
  // Deleted, it leaves no entry behind in any key.
  ASSERT_TRUE(read_eq(a, 0, Rec("S"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  ASSERT_TRUE(fm_del(a));
  for (int key = 0; key < 3; ++key) EXPECT_EQ(read_all(a, key, buf), V{"T"}) << key;
}

// A stream's key range, its constraints and a key compare see the key a
// short record has (zeros past its end), not what its buffer held beyond it.
TEST_P(FmContract, ARangeSeesTheKeyOfAShortRecord) {
  FmArb* a = create("SHORTRNG", 1);
  ASSERT_NE(a, nullptr);
  Rec s("S", 0x00050001u);
  a->rec.set(s.p);
  a->rec_len = 12;  // number bytes 12-13 are not part of it: its number is 1
  a->op = GetParam().memory ? FM_OP_FAST : 0;  // kept by reference: the block goes on past it
  ASSERT_TRUE(fm_write(a));
  ASSERT_TRUE(write(a, Rec("T", 0x00050001u)));
  auto* r = reinterpret_cast<FmScbRange*>(range_scb("", 0, "", 0));
  r->key_no = 1;
  r->lo_len = r->hi_len = 4;
  r->lo_key.set(pooled("\x01\x00\x00\x00", 4));
  r->hi_key = r->lo_key;
  // Bytes 12-13 constrained to zero.
  auto* c = reinterpret_cast<FmScbCns*>(alloc(sizeof(FmScbCns)));
  std::memset(static_cast<void*>(c), 0, sizeof *c);
  c->head.type = FM_SCB_CNS;
  c->len = 2;
  c->values.set(pooled("\0\0", 2));
  c->count = 1;
  c->entries.set(reinterpret_cast<FmCns*>(alloc(sizeof(FmCns))));
  c->entries->offset = 12;
  c->entries->length = 2;
  r->head.next.set(&c->head);
  FmArb* st = FM_ATTACH(a, &r->head, com.depth);
  ASSERT_NE(st, nullptr) << a->status << la_cur_sys_err();
  uint8_t* buf = alloc(kLen);
  std::memset(buf, 0xFF, kLen);
  EXPECT_EQ(read_all(st, 1, buf), V{"S"});
  std::memset(buf, 0xFF, kLen);
  set_num_key(st, 1);
  st->rec.set(buf);
  st->op = FM_OP_KEY | FM_OP_EQUAL;
  ASSERT_TRUE(fm_read(st)) << st->status;
  EXPECT_EQ(st->len_read, 12);
  EXPECT_EQ(fm_key_cmp(st), 0);
  if (!GetParam().memory) return;
  // Read fast, the record itself, by key and in order.
  EXPECT_EQ(fm_read_fast(st, FM_OP_KEY | FM_OP_EQUAL), s.p) << st->status;
  EXPECT_EQ(fm_key_cmp(st), 0);
  st->op = FM_OP_FIRST;
  ASSERT_TRUE(fm_start(st));
  EXPECT_EQ(fm_rdnxt_fast(st, 0), s.p) << st->status;
  EXPECT_EQ(st->len_read, 12);
  a->key_no = 0;
  ASSERT_TRUE(start_first(a, 0));
  EXPECT_EQ(fm_rdnxt_fast(a, 0), s.p);
  EXPECT_EQ(a->len_read, 12);
}

TEST_P(FmContract, StructureStampsAreCheckedAtOpen) {
  FmFdb f = describe("STAMP");
  f.stamp[0] = 11;
  f.stamp[1] = 22;
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, opts(), 15, 15)) << f.status;
  ASSERT_TRUE(FM_CLOSE(f.handle.get(), 0));
  auto open_with = [&](uint32_t s0, uint32_t s1, uint32_t extra) -> uint32_t {
    FmFdb o = describe("STAMP");
    o.stamp[0] = s0;
    o.stamp[1] = s1;
    if (!FM_OPEN(&o, com.depth, opts() | extra, 15, 15)) return o.status;
    EXPECT_EQ(o.handle->file->fdb.stamp[1].get(), 22u);  // the file's own stamp
    FM_CLOSE(o.handle.get(), 0);
    return 0;
  };
  EXPECT_EQ(open_with(11, 22, 0), 0u);
  EXPECT_EQ(open_with(11, 23, 0), FM_ST_STRUCT);
  EXPECT_EQ(open_with(12, 22, 0), FM_ST_STRUCT);
  EXPECT_EQ(open_with(11, 23, FM_OPT_NO_STRUCT), 0u);
  EXPECT_EQ(open_with(0xFFFFFFFFu, 0xFFFFFFFFu, 0), 0u);
  EXPECT_EQ(fm_open_count(), 0u);
}

TEST_P(FmContract, CloseOptionsScratchOrKeepTheFile) {
  auto exists = [&](const char* name) {
    FmFdb l = describe(name);
    return fm_locate(&l) == 1;
  };
  auto reopen = [&](const char* name) -> FmArb* {
    FmFdb o = describe(name);
    return FM_OPEN(&o, com.depth, opts(), 15, 15) ? o.handle.get() : nullptr;
  };
  FmArb* a = create("KEEP");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write(a, Rec("K", 1)));
  ASSERT_TRUE(FM_CLOSE(a, FM_CL_KEEP));
  EXPECT_TRUE(exists("KEEP"));
  ASSERT_NE(a = reopen("KEEP"), nullptr);
  ASSERT_TRUE(FM_CLOSE(a, FM_CL_NO_EVENT));
  EXPECT_TRUE(exists("KEEP"));
  // A stream closed with 512 is only detached; a second open closed with 512
  // leaves the file to the open that remains.
  ASSERT_NE(a = reopen("KEEP"), nullptr);
  FmArb* s = FM_ATTACH(a, nullptr, com.depth);
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(FM_CLOSE(s, FM_CL_SCRATCH));
  FmArb* b = reopen("KEEP");
  ASSERT_NE(b, nullptr);
  FM_CLOSE(b, FM_CL_SCRATCH);
  EXPECT_TRUE(exists("KEEP"));
  uint8_t* buf = alloc(kLen);
  EXPECT_EQ(read_all(a, 0, buf), V{"K"});
  // The last close with 512 or 1536 scratches it.
  ASSERT_TRUE(FM_CLOSE(a, FM_CL_SCRATCH));
  EXPECT_FALSE(exists("KEEP"));
  ASSERT_NE(a = create("WORK"), nullptr);
  ASSERT_TRUE(FM_CLOSE(a, FM_CL_SCRATCH | FM_CL_KEEP));
  EXPECT_FALSE(exists("WORK"));
  EXPECT_EQ(fm_open_count(), 0u);
}

TEST_P(FmContract, AClosedHandleAnswersEveryCallWith200480) {
  FmArb* a = create("CLOSED");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write(a, Rec("C", 1)));
  FmFdb sf;
  FmArb* seq = create_seq("SEQ", &sf);
  ASSERT_NE(seq, nullptr);
  uint8_t* buf = alloc(kLen);
  uint8_t* key = alloc(10);
  ASSERT_TRUE(FM_CLOSE(a, 0));
  a->rec.set(buf);
  a->key.set(key);
  a->key_len = 1;
  auto closed = [&](int rc, const char* what) {
    EXPECT_EQ(rc, 0) << what;
    EXPECT_EQ(a->status, FM_ST_NO_STREAM) << what;
    a->status = 0;
  };
  a->op = FM_OP_FIRST;
  closed(fm_read(a), "read");
  closed(fm_start(a), "start");
  closed(fm_rdnxt(a), "read next");
  a->op = 0;
  closed(fm_write(a), "write");
  closed(fm_rewrite(a), "rewrite");
  closed(fm_del(a), "delete");
  closed(fm_del_all(a), "delete all");
  closed(fm_release(a), "release");
  closed(fm_key_cmp(a), "key compare");
  closed(fm_detach(a), "detach");
  closed(FM_CLOSE(a, 0), "close");
  closed(fm__close(a), "close");
  closed(FM_ATTACH(a, nullptr, com.depth) != nullptr, "attach");
  FmName nm{"x", 1};
  closed(fm_nam(a, &nm), "name");
  EXPECT_EQ(nm.text, nullptr);
  EXPECT_EQ(fm_path(a), nullptr);
  closed(fm_set_lang(a, "ENG", "FRA"), "language");
  closed(fm_read_fast(a, FM_OP_FIRST) != nullptr, "fast read");
  closed(fm_rdnxt_fast(a, 0) != nullptr, "fast read next");
  closed(MADDR(a, 1) != nullptr, "address");
  closed(fm_find_fis(a), "temporary files");
  // As the file of a save: the sequential handle gets the status.
  EXPECT_TRUE(fails_with(fm_save_fi(seq, a), seq, FM_ST_NO_STREAM));
  EXPECT_TRUE(FM_CLOSE(seq, 0));
}

TEST_P(FmContract, MoreBadInputGetsAStatus) {
  FmArb* a = create("BADMORE");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write(a, Rec("R", 1, "", 0, "before")));
  uint8_t* buf = alloc(kLen + 16);
  // A read by record id in a key the file does not have.
  ASSERT_TRUE(read_eq(a, 0, Rec("R"), buf));
  uint32_t rid = a->rid;
  a->key_no = 9;
  a->rid = rid;
  a->op = FM_OP_RID;
  EXPECT_TRUE(fails_with(fm_read(a), a, FM_ST_SYS));
  EXPECT_EQ(MADDR(a, rid), nullptr);
  EXPECT_EQ(a->status, FM_ST_SYS);
  // A rewrite longer than the file's records: refused, the record unchanged
  // and still held.
  ASSERT_TRUE(read_eq(a, 0, Rec("R"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  std::memcpy(buf + 24, "after ", 6);
  a->rec_len = kLen + 1;
  a->op = 0;
  EXPECT_TRUE(fails_with(fm_rewrite(a), a, FM_ST_SYS));
  a->rec_len = 0;
  uint8_t* look = alloc(kLen);
  ASSERT_TRUE(read_eq(a, 0, Rec("R"), look));
  EXPECT_EQ(payload(look, 6), "before");
  EXPECT_TRUE(rewrite(a, buf)) << a->status;
  // Key compares that cannot be made.
  uint8_t* k = alloc(32);
  std::memcpy(k, "R         ", 10);
  a->key.set(k);
  a->key_len = 10;
  a->key_no = 0;
  EXPECT_EQ(fm_key_cmp(a), 0);
  EXPECT_EQ(a->status, 0u);
  a->key_no = 9;
  EXPECT_EQ(fm_key_cmp(a), 0);
  EXPECT_EQ(a->status, FM_ST_SYS);
  a->key_no = 0;
  a->key_len = 11;
  EXPECT_EQ(fm_key_cmp(a), 0);
  EXPECT_EQ(a->status, FM_ST_SYS);
  // Stream control blocks with impossible lengths or missing keys: refused
  // before anything is read through them.
  auto* r = reinterpret_cast<FmScbRange*>(alloc(sizeof(FmScbRange)));
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->head.type = FM_SCB_RANGE;
  r->lo_len = 60000;
  r->lo_key.set(k);
  EXPECT_EQ(FM_ATTACH(a, &r->head, com.depth), nullptr);
  EXPECT_EQ(a->status, FM_ST_SYS);
  r->lo_len = 4;
  r->lo_key.reset();
  EXPECT_EQ(FM_ATTACH(a, &r->head, com.depth), nullptr);
  EXPECT_EQ(a->status, FM_ST_SYS);
  auto* c = reinterpret_cast<FmScbCns*>(alloc(sizeof(FmScbCns)));
  std::memset(static_cast<void*>(c), 0, sizeof *c);
  c->head.type = FM_SCB_CNS;
  c->len = 4;
  c->values.set(k);
  c->count = 0xFFFFFFFFu;
  c->entries.set(reinterpret_cast<FmCns*>(k));
  EXPECT_EQ(FM_ATTACH(a, &c->head, com.depth), nullptr);
  EXPECT_EQ(a->status, FM_ST_SYS);
  c->count = 1;
  c->entries.reset();
  EXPECT_EQ(FM_ATTACH(a, &c->head, com.depth), nullptr);
  EXPECT_EQ(a->status, FM_ST_SYS);
  auto* loop = reinterpret_cast<FmScb*>(alloc(sizeof(FmScb)));
  loop->type = FM_SCB_RANGE + 10;
  loop->next.set(loop);
  EXPECT_EQ(FM_ATTACH(a, loop, com.depth), nullptr);
  EXPECT_EQ(a->status, FM_ST_SYS);
  // A chain of 16 blocks is taken, one of 17 is not.
  FmScb* chain = nullptr;
  for (int i = 0; i < 17; ++i) {
    FmScb* b = range_scb("", 0, "", 0);
    b->next.set(chain);
    chain = b;
    if (i == 15) {
      FmArb* st = FM_ATTACH(a, chain, com.depth);
      ASSERT_NE(st, nullptr) << la_cur_sys_err();
      EXPECT_TRUE(fm_detach(st));
    }
  }
  EXPECT_EQ(FM_ATTACH(a, chain, com.depth), nullptr);
  // Constraints: a field one past the record's end, values shorter than the
  // fields; the field that ends at the record's end is taken.
  c->count = 1;
  c->entries.set(reinterpret_cast<FmCns*>(alloc(sizeof(FmCns))));
  c->entries->offset = kLen - 1;
  c->entries->length = 2;
  c->len = 2;
  EXPECT_EQ(FM_ATTACH(a, &c->head, com.depth), nullptr);
  c->entries->offset = kLen - 2;
  c->len = 1;
  EXPECT_EQ(FM_ATTACH(a, &c->head, com.depth), nullptr);
  c->len = 2;
  FmArb* cs = FM_ATTACH(a, &c->head, com.depth);
  ASSERT_NE(cs, nullptr) << la_cur_sys_err();
  EXPECT_TRUE(fm_detach(cs));
  // A key length without a key.
  a->key.reset();
  a->key_len = 4;
  a->key_no = 0;
  a->op = FM_OP_KEY | FM_OP_EQUAL;
  EXPECT_TRUE(fails_with(fm_read(a), a, FM_ST_SYS));
  a->key_len = 0;
  EXPECT_EQ(fm_open_count(), 1u);
  // Descriptors no back end can keep: a binary segment of more than 8 bytes,
  // no record length, a record longer than 32,767 bytes, more than 17 keys.
  auto refused = [&](FmFdb f, const char* what) {
    EXPECT_FALSE(FM_CREATE(&f, com.depth, 0, opts(), 15, 15)) << what;
    EXPECT_EQ(f.status, FM_ST_SYS) << what;
    FmFdb l = f;
    EXPECT_FALSE(fm_locate(&l)) << what;
  };
  FmFdb wide = describe("WIDE");
  wide.kdb->segs.get()[0].type = FM_SEG_BINARY;  // key 0: 10 bytes, binary
  refused(wide, "binary 10");
  FmFdb none = describe("NOLEN");
  none.rec_len = 0;
  refused(none, "length 0");
  FmFdb huge = describe("HUGE");
  huge.rec_len = FM_MAX_REC + 1;
  refused(huge, "length 32768");
  auto* many = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb) * 18));
  for (int i = 0; i < 18; ++i) many[i] = describe("X").kdb.get()[0];
  FmFdb lots = describe("LOTS");
  lots.kdb.set(many);
  lots.key_count = 18;
  refused(lots, "18 keys");
  EXPECT_TRUE(fails_with(FM_OPEN(&lots, com.depth, opts(), 15, 15), lots, FM_ST_SYS));
}

TEST_P(FmContract, NullKeysAreLeftOutOfLaterKeysOnly) {
  // Null suppression asked of every key, and a key-number byte that is not
  // the key's place: the first key still holds every record.
  FmFdb f = describe("NULLS");
  FmKdb* k = f.kdb.get();
  for (int i = 0; i < 3; ++i) k[i].flags = uint8_t(k[i].flags | FM_KEY_NULL_SUPP);
  k[0].key_no = 5;
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, opts(), 15, 15)) << f.status << la_cur_sys_err();
  FmArb* a = f.handle.get();
  ASSERT_TRUE(write_all(a, {Rec("", 0), Rec("X", 0, "G", 1), Rec("Y", 3)}));
  uint8_t* buf = alloc(kLen);
  EXPECT_EQ(read_all(a, 0, buf), (V{"", "X", "Y"}));
  EXPECT_EQ(read_all(a, 1, buf), (V{"Y"}));
  EXPECT_EQ(read_all(a, 2, buf), (V{"X"}));
  ASSERT_TRUE(read_eq(a, 0, Rec(""), buf));
  EXPECT_EQ(code_of(buf), "");
  // Reopened by its own description, it is the same file.
  ASSERT_TRUE(FM_CLOSE(a, 0));
  FmFdb o = describe("NULLS");
  std::memcpy(static_cast<void*>(o.kdb.get()), k, 3 * sizeof(FmKdb));
  ASSERT_TRUE(FM_OPEN(&o, com.depth, opts(), 15, 15)) << o.status;
  EXPECT_EQ(read_all(o.handle.get(), 1, buf), (V{"Y"}));
}

TEST_P(FmContract, AttachCanLeaveTheStreamInASlot) {
  FmArb* a = create("SLOT");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write_all(a, {Rec("S1", 1), Rec("S2", 2)}));
  FmArb* out = a;
  FmArb* s = FM_ATTACH(a, &out, com.depth);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(out, s);
  uint8_t* buf = alloc(kLen);
  EXPECT_EQ(read_all(s, 0, buf), (V{"S1", "S2"}));
  ASSERT_TRUE(fm_detach(s));
  ASSERT_TRUE(FM_CLOSE(a, 0));
  EXPECT_EQ(FM_ATTACH(a, &out, com.depth), nullptr);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(a->status, FM_ST_NO_STREAM);
}

TEST_P(FmContract, AFileOpenedForAPoolBelongsToThePoolsScope) {
  FmArb* a = create("POOLED");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write(a, Rec("P", 1)));
  FmArb* kept = nullptr;
  FmArb* gone = nullptr;
  mark(5, [&] {
    FmFdb f = describe("POOLED");
    f.pool = g_pool;  // a pool of the outer scope
    ASSERT_TRUE(FM_OPEN(&f, com.depth, opts() | FM_OPT_MEMORY, 15, 15)) << f.status;
    kept = f.handle.get();
    EXPECT_EQ(f.scope, 0);
    FmFdb g = describe("POOLED");
    ASSERT_TRUE(FM_OPEN(&g, com.depth, opts(), 15, 15)) << g.status;
    gone = g.handle.get();
  });
  EXPECT_TRUE(fails_with(fm_release(gone), gone, FM_ST_NO_STREAM));
  uint8_t* buf = alloc(kLen);
  EXPECT_EQ(read_all(kept, 0, buf), V{"P"});
}

// A refused hold leaves the earlier hold as it was, but no longer the one a
// rewrite or delete acts on: both are refused with "no record held" and
// nothing changes.
TEST_P(FmContract, ARefusedHoldChangesNothing) {
  FmArb* a = create("REFUSED");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(write_all(a, {Rec("R1", 1, "", 0, "one"), Rec("R2", 2, "", 0, "two")}));
  uint8_t* buf = alloc(kLen);
  uint8_t* buf2 = alloc(kLen);
  FmArb* b = FM_ATTACH(a, nullptr, com.depth);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(read_eq(b, 0, Rec("R2"), buf2, FM_OP_EQUAL | FM_OP_HOLD));
  ASSERT_TRUE(read_eq(a, 0, Rec("R1"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  EXPECT_TRUE(fails_with(read_eq(a, 0, Rec("R2"), buf, FM_OP_EQUAL | FM_OP_HOLD), a, FM_ST_HELD_SELF));
  EXPECT_EQ(code_of(buf), "R2");  // delivered all the same
  std::memcpy(buf + 24, "changed", 7);
  EXPECT_TRUE(fails_with(rewrite(a, buf), a, FM_ST_NOT_HELD));
  EXPECT_TRUE(fails_with(fm_del(a), a, FM_ST_NOT_HELD));
  // Both records are there as they were.
  FmArb* c = FM_ATTACH(a, nullptr, com.depth);
  ASSERT_NE(c, nullptr);
  uint8_t* cb = alloc(kLen);
  EXPECT_EQ(read_all(c, 0, cb), (V{"R1", "R2"}));
  ASSERT_TRUE(read_eq(c, 0, Rec("R1"), cb));
  EXPECT_EQ(payload(cb, 3), "one");
  ASSERT_TRUE(read_eq(c, 0, Rec("R2"), cb));
  EXPECT_EQ(payload(cb, 3), "two");
  // The earlier hold still keeps others off R1 until released.
  EXPECT_TRUE(fails_with(read_eq(c, 0, Rec("R1"), cb, FM_OP_EQUAL | FM_OP_HOLD), c, FM_ST_HELD_SELF));
  EXPECT_TRUE(fm_release(a));
  // Once R2 is free, a's hold read takes it and the delete acts on R2.
  EXPECT_TRUE(fm_release(b));
  ASSERT_TRUE(read_eq(a, 0, Rec("R2"), buf, FM_OP_EQUAL | FM_OP_HOLD)) << a->status;
  a->op = 0;
  ASSERT_TRUE(fm_del(a)) << a->status;
  EXPECT_EQ(read_all(c, 0, cb), V{"R1"});
}

// A hold read through a stream whose key range rejects the record answers
// "not found" (or the end of the range) and holds nothing.
TEST_P(FmContract, ARecordOutsideTheRangeIsNotLeftHeld) {
  FmArb* a = create("OUTSIDE");
  ASSERT_NE(a, nullptr);
  for (const char* c : {"A1", "B1", "B2", "C1"}) ASSERT_TRUE(write(a, Rec(c, 1)));
  FmArb* s = FM_ATTACH(a, range_scb("B1", 0, "B2", 0), com.depth);
  ASSERT_NE(s, nullptr) << a->status << la_cur_sys_err();
  uint8_t* buf = alloc(kLen);
  uint8_t* buf2 = alloc(kLen);
  // By key: outside the range, and free for another handle at once.
  EXPECT_TRUE(fails_with(read_eq(s, 0, Rec("C1"), buf, FM_OP_EQUAL | FM_OP_HOLD), s, FM_ST_NO_RECORD));
  EXPECT_TRUE(read_eq(a, 0, Rec("C1"), buf2, FM_OP_EQUAL | FM_OP_HOLD)) << a->status;
  EXPECT_TRUE(fm_release(a));
  // Held by another handle: not found all the same, and the stream's
  // earlier hold stays.
  ASSERT_TRUE(read_eq(s, 0, Rec("B1"), buf, FM_OP_EQUAL | FM_OP_HOLD));
  ASSERT_TRUE(read_eq(a, 0, Rec("C1"), buf2, FM_OP_EQUAL | FM_OP_HOLD));
  EXPECT_TRUE(fails_with(read_eq(s, 0, Rec("C1"), buf, FM_OP_EQUAL | FM_OP_HOLD), s, FM_ST_NO_RECORD));
  EXPECT_TRUE(fm_release(a));
  EXPECT_TRUE(fails_with(read_eq(a, 0, Rec("B1"), buf2, FM_OP_EQUAL | FM_OP_HOLD), a, FM_ST_HELD_SELF));
  EXPECT_TRUE(fm_release(s));
  // Below the range too.
  EXPECT_TRUE(fails_with(read_eq(s, 0, Rec("A1"), buf, FM_OP_EQUAL | FM_OP_HOLD), s, FM_ST_NO_RECORD));
  EXPECT_TRUE(read_eq(a, 0, Rec("A1"), buf2, FM_OP_EQUAL | FM_OP_HOLD)) << a->status;
  EXPECT_TRUE(fm_release(a));
  // Read next past the high bound (the read beyond it held C1 for a moment).
  s->rec.set(buf);
  ASSERT_TRUE(start_first(s, 0));
  s->op = FM_OP_HOLD;
  ASSERT_TRUE(fm_rdnxt(s));
  ASSERT_TRUE(fm_rdnxt(s));
  EXPECT_EQ(code_of(buf), "B2");
  EXPECT_TRUE(fails_with(fm_rdnxt(s), s, FM_ST_EOF));
  // Another handle holds C1 at once.
  EXPECT_TRUE(read_eq(a, 0, Rec("C1"), buf2, FM_OP_EQUAL | FM_OP_HOLD)) << a->status;
  a->op = 0;
  EXPECT_TRUE(fm_del(a)) << a->status;
}

namespace {
// A start of the back end that unwinds, as a fault inside it would.
int unwinding_start(FmArb*, FmArb*) { throw ScopeUnwind{int(CompletionCode::Signal), 0}; }
int unwinding_post_read(FmArb*) { throw ScopeUnwind{int(CompletionCode::Signal), 0}; }
}  // namespace

// Handle fields changed for an inner call go back when the call unwinds.
TEST_P(FmContract, HandleFieldsComeBackWhenACallUnwinds) {
  FmArb* a = create("UNWIND");
  ASSERT_NE(a, nullptr);
  for (const char* c : {"A1", "B1", "B2", "C1"}) ASSERT_TRUE(write(a, Rec(c, 1)));
  FmArb* s = FM_ATTACH(a, range_scb("B1", 0, "", 0), com.depth);
  ASSERT_NE(s, nullptr) << a->status << la_cur_sys_err();
  uint8_t* buf = alloc(kLen);
  uint8_t* key = alloc(4);
  auto check = [&](uint16_t op, const char* what) {
    EXPECT_EQ(s->op, op) << what;
    EXPECT_EQ(s->key.get(), key) << what;
    EXPECT_EQ(s->key_len, 1) << what;
    EXPECT_EQ(s->range, 0) << what;
    EXPECT_EQ(s->rec.get(), buf) << what;
    EXPECT_EQ(s->rec_len, 0) << what;
    EXPECT_EQ(s->key_no, 0) << what;
  };
  auto arm = [&](uint16_t op) {
    s->rec.set(buf);
    s->rec_len = 0;
    s->key.set(key);
    s->key_len = 1;
    s->range = 0;
    s->key_no = 0;
    s->op = op;
  };
  FmHandlers table = *fm_handlers(s->fns);
  table.start = unwinding_start;
  uint8_t own = s->fns;
  fm_set_handlers(s, &table);
  arm(FM_OP_FIRST);
  EXPECT_THROW(fm_start(s), ScopeUnwind);
  check(FM_OP_FIRST, "start");
  arm(FM_OP_FIRST);
  EXPECT_THROW(fm_rdnxt(s), ScopeUnwind);
  check(FM_OP_FIRST, "read next");
  s->fns = own;
  // Delete all through the stream: its read next unwinds in an event.
  static const FmEventProcs procs = {unwinding_post_read, nullptr, nullptr, nullptr, nullptr};
  fm_set_event_procs(&procs);
  fm_set_event_proc(a, alloc(4));
  arm(FM_OP_KEY);
  EXPECT_THROW(fm_del_all(s), ScopeUnwind);
  fm_set_event_procs(nullptr);
  check(FM_OP_KEY, "delete all");
  EXPECT_TRUE(fm_release(s));
  EXPECT_TRUE(fm_del_all(s)) << s->status;
  check(FM_OP_KEY, "delete all done");
  EXPECT_EQ(read_all(a, 0, buf), (V{"A1"}));
}

// Records written together are the records written one at a time: the
// same bytes under the same ids in the same order of every key; a refused
// record ends the run there.
TEST_P(FmContract, WritingRecordsTogetherIsWritingThemOneByOne) {
  FmArb* a = create("MANY");
  FmArb* b = create("ONES");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  std::set<std::string> codes;   // key 0's order
  auto rec = [](const std::string& code, uint32_t n) { return Rec(code, n % 7, "G" + std::to_string(n % 3), uint16_t(n), code); };
  auto put = [&](const std::vector<Rec>& recs, uint32_t want) {
    std::vector<uint8_t> run;
    for (const Rec& r : recs) run.insert(run.end(), r.p, r.p + kLen);
    a->rid = 0;
    int got = fm_write_all(a, run.data(), uint32_t(recs.size()));
    EXPECT_EQ(a->status, want < recs.size() ? FM_ST_DUP_KEY : 0u);
    uint32_t ones = 0;
    while (ones < recs.size() && write(b, recs[ones])) ++ones;
    EXPECT_EQ(got, int(want));
    EXPECT_EQ(ones, want);
    if (want == recs.size() && want) {
      EXPECT_EQ(a->rid, b->rid);
    }
    for (uint32_t i = 0; i < want; ++i) codes.insert(recs[i].code());
  };
  // In key order (past several index blocks), then out of it, then with a
  // code already there first, last and in the middle of the run; none.
  std::vector<Rec> up, down;
  for (uint32_t i = 0; i < 700; ++i) up.push_back(rec("K" + std::to_string(10000 + 2 * i), i));
  put(up, 700);
  for (uint32_t i = 0; i < 300; ++i) down.push_back(rec("K" + std::to_string(11399 - 2 * i), i));
  put(down, 300);
  put({rec("K10000", 1), rec("A1", 1)}, 0);
  put({rec("A1", 1), rec("Z1", 2), rec("K10002", 3)}, 2);
  put({rec("A2", 4), rec("Z1", 5), rec("Z2", 6)}, 1);
  put({}, 0);
  put({rec("ZZ", 8)}, 1);
  uint8_t* buf = alloc(kLen);
  for (int key = 0; key < 3; ++key) {
    std::vector<std::string> in_a, in_b;
    for (auto [h, out] : {std::pair{a, &in_a}, std::pair{b, &in_b}}) {
      h->rec.set(buf);
      h->rec_len = 0;
      ASSERT_TRUE(start_first(h, key));
      h->op = 0;
      while (fm_rdnxt(h)) out->push_back(std::string(reinterpret_cast<char*>(buf), kLen) + std::to_string(h->rid));
      EXPECT_EQ(h->status, FM_ST_EOF);
    }
    EXPECT_EQ(in_a, in_b) << "key " << key;
    if (key == 0) {
      ASSERT_EQ(in_a.size(), codes.size());
      size_t i = 0;
      for (const std::string& c : codes) EXPECT_EQ(code_of(reinterpret_cast<const uint8_t*>(in_a[i++].data())), c);
    }
  }
}

// Keys at their limits: a key of 255 bytes whose last segment, binary and
// descending, ends at the record's last byte reads in the order of a map of
// its values, through ranges and compares as long as the key; each limit
// one past is refused at create.
TEST_P(FmContract, KeysAtTheirLimits) {
  constexpr int kWide = 300;
  auto* sdb = reinterpret_cast<FmSdb*>(alloc(2 * sizeof(FmSdb)));
  auto* kdb = reinterpret_cast<FmKdb*>(alloc(FM_MAX_KEYS * sizeof(FmKdb)));
  auto make = [&](int rec_len, int text_off, int text_len, int bin_len, int keys = 1) {
    init_sdb_func(&sdb[0], 1, text_off, text_len, FM_SEG_ALPHA, '+');
    init_sdb_func(&sdb[1], 2, kWide - bin_len, bin_len, FM_SEG_BINARY, '-');
    for (int k = 0; k < keys; ++k) INIT_KDB(&kdb[k], k, '+', k ? 9 : 8, sdb, 2);
    FmFdb f;
    INIT_FDB(&f, g_param->fclass, rec_len, 0, kdb, keys);
    INIT_DB_PATH(&f, "TST", "TAP", "01", "WIDE", FM_PT_DATA);
    return f;
  };
  auto refused = [&](FmFdb f, const char* what) {
    EXPECT_TRUE(fails_with(FM_CREATE(&f, com.depth, 0, opts(), 15, 15), f, FM_ST_SYS)) << what;
  };
  refused(make(kWide - 1, 45, 247, 8), "a segment one past the record");
  refused(make(kWide, 44, 248, 8), "a key of 256 bytes");
  refused(make(kWide, 46, 245, 9), "a binary segment of 9 bytes");
  FmFdb odd = make(kWide, 45, 247, 8);
  kdb->key_len = 254;
  refused(odd, "a key length other than its segments'");
  kdb->key_len = 0;
  kdb->seg_count = 0;
  refused(odd, "a key without segments");
  FmFdb most = make(kWide, 45, 247, 8, FM_MAX_KEYS);
  ASSERT_TRUE(FM_CREATE(&most, com.depth, 0, opts(), 15, 15)) << most.status << la_cur_sys_err();
  ASSERT_TRUE(FM_CLOSE(most.handle.get(), FM_CL_SCRATCH));

  FmFdb f = make(kWide, 45, 247, 8);
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, opts(), 15, 15)) << f.status << la_cur_sys_err();
  FmArb* a = f.handle.get();
  // Text ascending, then the number descending.
  std::map<std::pair<std::string, uint64_t>, std::string> oracle;
  std::mt19937 rng(5);
  const uint64_t nums[] = {1, 0x100, 0x0100000000000000ull, ~0ull};
  uint8_t* r = alloc(kWide);
  for (int i = 0; i < 120; ++i) {
    std::string text(247, ' ');
    text[0] = char('A' + rng() % 3);
    text[246] = char('a' + rng() % 3);
    uint64_t v = nums[rng() % 4];
    char code[11];
    std::snprintf(code, sizeof code, "R%03d", i);
    std::memset(r, ' ', kWide);
    std::memcpy(r, code, std::strlen(code));
    std::memcpy(r + 45, text.data(), 247);
    std::memcpy(r + kWide - 8, &v, 8);
    a->rec.set(r);
    a->rec_len = 0;
    a->op = 0;
    bool fresh = oracle.emplace(std::pair{text, ~v}, code).second;
    ASSERT_EQ(fm_write(a) == 1, fresh) << i << " " << a->status;
  }
  uint8_t* buf = alloc(kWide);
  V want;
  for (auto& [k, code] : oracle) want.push_back(code);
  EXPECT_EQ(read_all(a, 0, buf), want);
  // The second record's whole key, in key form, as range bounds and as a key.
  auto second = std::next(oracle.begin());
  uint8_t key[255];
  std::memcpy(key, second->first.first.data(), 247);
  uint64_t v = ~second->first.second;
  std::memcpy(key + 247, &v, 8);
  auto range = [&](uint16_t len, int how) {
    auto* rr = reinterpret_cast<FmScbRange*>(range_scb("", 0, "", 0));
    rr->lo_len = rr->hi_len = len;
    rr->lo_key.set(pooled(key, len));
    rr->hi_key = rr->lo_key;
    rr->lo_range = rr->hi_range = uint8_t(how);
    FmArb* st = FM_ATTACH(a, &rr->head, com.depth);
    EXPECT_NE(st, nullptr) << a->status << la_cur_sys_err();
    return st ? read_all(st, 0, buf) : V{"attach failed"};
  };
  EXPECT_EQ(range(255, 0), V{second->second});
  EXPECT_EQ(range(255, 16), V{});
  V same_text;
  for (auto& [k, code] : oracle)
    if (k.first == second->first.first) same_text.push_back(code);
  EXPECT_EQ(range(247, 0), same_text);
  set_key(a, 0, key, 255);
  a->rec.set(buf);
  a->op = FM_OP_KEY | FM_OP_EQUAL;
  ASSERT_TRUE(fm_read(a)) << a->status;
  EXPECT_EQ(code_of(buf), second->second);
  EXPECT_EQ(fm_key_cmp(a), 0);
  key[254] = uint8_t(key[254] + 1);  // a greater number: before it in the descending segment
  set_key(a, 0, key, 255);
  EXPECT_EQ(fm_key_cmp(a), v >> 56 == 0xFF ? -1 : 1);
  // A key one byte longer than the key, and a key number one past the last.
  a->key_len = 256;
  a->op = FM_OP_KEY | FM_OP_EQUAL;
  EXPECT_TRUE(fails_with(fm_read(a), a, FM_ST_SYS));
  a->key_len = 0;
  a->key_no = 1;
  a->op = FM_OP_FIRST;
  EXPECT_TRUE(fails_with(fm_read(a), a, FM_ST_SYS));
  EXPECT_TRUE(fails_with(fm_start(a), a, FM_ST_SYS));
}

INSTANTIATE_TEST_SUITE_P(Memory, FmContract, ::testing::Values(FmBackendParam{}),
                         [](const auto& i) { return std::string(i.param.name); });
