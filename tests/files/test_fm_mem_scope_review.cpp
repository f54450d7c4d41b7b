// Memory-resident files of one identity in several scopes, as the handles
// that reach them close: a close that scratches removes the file its handle
// reached, never another scope's file of the same identity.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/ut.h"

namespace {

class FmMemScopeReview : public ::testing::Test {
 protected:
  void SetUp() override {
    bi_init_com();
    fms_init();
    pool = mm_create_pool(" FMSCOPERVW", 0, 0);
    buf = static_cast<uint8_t*>(MM_ALLOC(pool, 16));
  }
  void TearDown() override {
    fm_shutdown();
    mm_destroy_pool(pool);
  }
  static FmFdb fdb() {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_MEMORY, 16, 0, nullptr, 0);
    INIT_SRC_PATH(&f, "TST", "01", "SCOPED", FM_PT_DATA);
    return f;
  }
  FmArb* create(int scope) {
    FmFdb f = fdb();
    return FM_CREATE(&f, scope, 0, 0, 15, 15) ? f.handle.get() : nullptr;
  }
  FmArb* open(int scope) {
    FmFdb f = fdb();
    return FM_OPEN(&f, scope, 0, 15, 15) ? f.handle.get() : nullptr;
  }
  void put(FmArb* a, const char* text) {
    std::memset(buf, ' ', 16);
    std::memcpy(buf, text, std::strlen(text));
    PROTO_FULL(a, 0, buf);
    ASSERT_EQ(fm_write(a), 1);
  }
  std::vector<std::string> all(FmArb* a) {
    std::vector<std::string> v;
    PROTO_FULL(a, 0, buf);
    a->op = FM_OP_FIRST;
    fm_start(a);
    a->op = 0;
    while (fm_rdnxt(a) == 1) {
      std::string s(reinterpret_cast<char*>(buf), 16);
      v.push_back(s.substr(0, s.find(' ')));
    }
    return v;
  }
  using V = std::vector<std::string>;
  MmPool pool = 0;
  uint8_t* buf = nullptr;
};

// The outer scope's handle closes with scratch while a nested scope has its
// own file of the identity: the outer file goes, the nested one stays.
TEST_F(FmMemScopeReview, CloseWithScratchRemovesTheFileItsHandleReached) {
  int outer = com.depth;
  size_t base = fm_memfile_count();
  FmArb* o = create(outer);
  ASSERT_NE(o, nullptr);
  put(o, "outer");
  mark(1, [&] {
    FmArb* i = create(com.depth);
    ASSERT_NE(i, nullptr);
    put(i, "inner");
    ASSERT_TRUE(FM_CLOSE(i, 0));
    EXPECT_EQ(fm_memfile_count(), base + 2);
    EXPECT_TRUE(FM_CLOSE(o, FM_CL_SCRATCH));
    EXPECT_EQ(fm_memfile_count(), base + 1);
    FmArb* in = open(com.depth);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(all(in), V{"inner"});
    FM_CLOSE(in, 0);
  });
  EXPECT_EQ(fm_memfile_count(), base);
  EXPECT_EQ(open(outer), nullptr);
}

// And the other way round: a handle of the nested scope's file closes with
// scratch from there while the outer file has no handle open.
TEST_F(FmMemScopeReview, CloseWithScratchOfTheNestedFileKeepsTheOuterOne) {
  int outer = com.depth;
  size_t base = fm_memfile_count();
  FmArb* o = create(outer);
  ASSERT_NE(o, nullptr);
  put(o, "outer");
  ASSERT_TRUE(FM_CLOSE(o, 0));
  mark(1, [&] {
    FmArb* i = create(com.depth);
    ASSERT_NE(i, nullptr);
    put(i, "inner");
    // An outer handle opened from the outer scope reaches the outer file.
    FmArb* again = open(outer);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(all(again), V{"outer"});
    ASSERT_TRUE(FM_CLOSE(again, FM_CL_SCRATCH));
    EXPECT_EQ(fm_memfile_count(), base + 1);
    EXPECT_EQ(all(i), V{"inner"});
    ASSERT_TRUE(FM_CLOSE(i, FM_CL_SCRATCH));
    EXPECT_EQ(fm_memfile_count(), base);
  });
  EXPECT_EQ(open(outer), nullptr);
}

}  // namespace
