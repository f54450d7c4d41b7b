// Relocation of compiled operands: code references through the INST file,
// constant references through the constant file or the common block.
#include <gtest/gtest.h>

#include <cstring>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/macros.h"
#include "foundation/mm.h"

namespace {

struct Files : ::testing::Test {
  void SetUp() override { pool = mm_create_pool(nullptr, com.base_scope, 0); }
  void TearDown() override {
    for (FmArb* f : {inst, cnst})
      if (f) FM_CLOSE(f, FM_CL_SCRATCH);
    mm_destroy_pool(pool);
  }
  uint8_t* alloc(size_t n) { return static_cast<uint8_t*>(MM_ALLOC(pool, n)); }
  // A keyless memory file with the given records.
  FmArb* make(FmFdb* fdb, std::initializer_list<std::string> recs) {
    FmArb* f = fdb->handle.get();
    for (const std::string& r : recs) {
      uint8_t* b = alloc(r.size());
      std::memcpy(b, r.data(), r.size());
      f->rec.set(b);
      f->rec_len = uint16_t(r.size());
      f->op = 0;
      EXPECT_EQ(fm_write(f), 1) << f->status.get();
    }
    return f;
  }
  // An operand in arena memory, as compiled code holds it.
  uint8_t* operand(uint16_t block, uint16_t offset) {
    uint8_t* op = alloc(4);
    rec::view<CodeRef>(op).block = block;
    rec::view<CodeRef>(op).offset = offset;
    return op;
  }
  uint8_t* constant(uint32_t key) {
    uint8_t* op = alloc(4);
    rec::view<rec::U32>(op) = key;
    return op;
  }
  static uint8_t* address(const uint8_t* op) { return rec::view<Ref<uint8_t>>(op).get(); }
  MmPool pool = 0;
  FmArb* inst = nullptr;
  FmArb* cnst = nullptr;
};

}  // namespace

TEST_F(Files, CodeReferencesBecomeAddressesInTheirBlock) {
  FmFdb fdb;
  INIT_INST_FDB(&fdb);
  ASSERT_EQ(FM_CREATE(&fdb, com.base_scope, 0, FM_OPT_BASE, 15, 15), 1) << fdb.status.get();
  inst = make(&fdb, {std::string(2024, 'a'), std::string(2024, 'b')});
  uint8_t* b2 = MADDR(inst, 2);
  ASSERT_NE(b2, nullptr);

  uint8_t* op = operand(2, 100);
  ASSERT_EQ(INST_RLOC(op, inst), 1);
  EXPECT_EQ(address(op), b2 + 100);
  EXPECT_EQ(*address(op), 'b');
  op = operand(1, 0);
  ASSERT_EQ(INST_RLOC(op, inst), 1);
  EXPECT_EQ(*address(op), 'a');
  op = operand(kNoCode, 7);
  EXPECT_EQ(INST_RLOC(op, inst), 1);
  EXPECT_EQ(address(op), nullptr);
  // The last byte of a block; not in the file, or beyond the block (its
  // length is one past): null, never a stray address.
  op = operand(2, 2023);
  ASSERT_EQ(INST_RLOC(op, inst), 1);
  EXPECT_EQ(address(op), b2 + 2023);
  for (auto [block, offset] : {std::pair<uint16_t, uint16_t>{3, 0}, {0, 0}, {2, 2024}, {2, 2025}}) {
    op = operand(block, offset);
    EXPECT_EQ(INST_RLOC(op, inst), 0) << block << " " << offset;
    EXPECT_EQ(rec::view<rec::U32>(op).get(), 0u);
  }
}

TEST_F(Files, ConstantReferencesReachTheConstantFileOrTheCommonBlock) {
  FmFdb fdb;
  INIT_FDB(&fdb, FM_CLASS_MEMORY, 32767, 1, nullptr, 0);
  INIT_UNIQUE_PATH(&fdb, "EM", "CN", FM_PT_DATA);
  ASSERT_EQ(FM_CREATE(&fdb, com.base_scope, 0, FM_OPT_BASE, 15, 15), 1) << fdb.status.get();
  cnst = make(&fdb, {"FIRST", "SECOND CONSTANT"});

  uint8_t* op = constant(2);
  ASSERT_EQ(CNST_RLOC(cnst, op), 1);
  EXPECT_EQ(std::memcmp(address(op), "SECOND CONSTANT", 15), 0);
  EXPECT_EQ(address(op), MADDR(cnst, 2));
  // 65000 and above: the common block at value - 65000.
  auto* base = reinterpret_cast<uint8_t*>(&com);
  op = constant(65000);
  ASSERT_EQ(CNST_RLOC(cnst, op), 1);
  EXPECT_EQ(address(op), base);
  op = constant(65000 + uint32_t(offsetof(ComArea, pd_one)));
  ASSERT_EQ(CNST_RLOC(cnst, op), 1);
  EXPECT_EQ(std::memcmp(address(op), com.pd_one.data(), 8), 0);
  op = constant(65000 + sizeof(ComArea) - 1);
  EXPECT_EQ(CNST_RLOC(nullptr, op), 1);  // the common block needs no file
  for (uint32_t bad : {uint32_t(3), uint32_t(0), uint32_t(65000 + sizeof(ComArea))}) {
    op = constant(bad);
    EXPECT_EQ(CNST_RLOC(cnst, op), 0) << bad;
    EXPECT_EQ(rec::view<rec::U32>(op).get(), 0u);
  }
}
