// Memory-resident files of one identity in several scopes: a create in a
// nested scope makes the scope's own file, opens and look-ups reach the
// innermost file the asking scope sees, and each file goes with its scope.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/ut.h"

namespace {

class FmMemScope : public ::testing::Test {
 protected:
  void SetUp() override {
    bi_init_com();
    fms_init();
    pool = mm_create_pool(" FMSCOPETST", 0, 0);
    buf = static_cast<uint8_t*>(MM_ALLOC(pool, 16));
  }
  void TearDown() override {
    fm_shutdown();
    mm_destroy_pool(pool);
  }
  // The identity under test: keyless 16-byte records.
  static FmFdb fdb(uint32_t options = 0) {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_MEMORY, 16, 0, nullptr, 0);
    INIT_SRC_PATH(&f, "TST", "01", "SCOPED", FM_PT_DATA);
    f.options = options;
    return f;
  }
  FmArb* create(int scope, uint32_t options = 0, uint32_t* status = nullptr) {
    FmFdb f = fdb();
    int ok = FM_CREATE(&f, scope, 0, options, 15, 15);
    if (status) *status = f.status;
    return ok ? f.handle.get() : nullptr;
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
  // The records of the file the handle reaches, first bytes up to a blank.
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

TEST_F(FmMemScope, NestedScopeGetsItsOwnFileAndLosesItWithTheScope) {
  size_t base = fm_memfile_count();
  int outer = com.depth;
  FmArb* o = create(outer);
  ASSERT_NE(o, nullptr);
  put(o, "outer");
  mark(1, [&] {
    int inner = com.depth;
    // The outer scope's file is seen from here until this scope has its own.
    FmArb* seen = open(inner);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(all(seen), V{"outer"});
    FM_CLOSE(seen, 0);
    FmArb* i = create(inner);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(fm_memfile_count(), base + 2);
    put(i, "inner");
    // A second create in the same scope is refused as before.
    uint32_t st = 0;
    EXPECT_EQ(create(inner, 0, &st), nullptr);
    EXPECT_EQ(st, FM_ST_EXISTS);
    // Each scope reaches its own file.
    FmArb* in = open(inner);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(all(in), V{"inner"});
    FmArb* out = open(outer);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(all(out), V{"outer"});
    FM_CLOSE(out, 0);
    // A scope nested deeper sees the innermost file around it.
    mark(4, [&] {
      FmArb* deeper = open(com.depth);
      ASSERT_NE(deeper, nullptr);
      EXPECT_EQ(all(deeper), V{"inner"});
    });
    // Locate asks from the current scope: the innermost file.
    FmFdb loc = fdb();
    EXPECT_EQ(fm_locate(&loc), 1);
  });
  // The inner file went with its scope; the outer one is as it was.
  EXPECT_EQ(fm_memfile_count(), base + 1);
  EXPECT_EQ(all(o), V{"outer"});
  EXPECT_TRUE(FM_CLOSE(o, 0));
}

TEST_F(FmMemScope, CreateOrOpenAndPoolScopesKeepTheirMeaning) {
  int outer = com.depth;
  FmArb* o = create(outer);
  ASSERT_NE(o, nullptr);
  put(o, "outer");
  mark(1, [&] {
    // Create-or-open in a scope without its own file opens the file it sees.
    FmArb* c = create(com.depth, FM_OPT_CREATE);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(all(c), V{"outer"});
    FM_CLOSE(c, 0);
    FmArb* mine = create(com.depth);
    ASSERT_NE(mine, nullptr);
    FM_CLOSE(mine, 0);
    // A descriptor naming a pool of the outer scope reaches the outer file:
    // open, locate and scratch alike.
    FmFdb p = fdb(FM_OPT_MEMORY);
    p.pool = pool;
    ASSERT_EQ(FM_OPEN(&p, com.depth, FM_OPT_MEMORY, 15, 15), 1);
    EXPECT_EQ(all(p.handle.get()), V{"outer"});
    FM_CLOSE(p.handle.get(), 0);
    FmFdb s = fdb(FM_OPT_MEMORY);
    s.pool = pool;
    EXPECT_EQ(FM_SCRATCH(&s, 0), 0);  // the outer file is open (o)
    EXPECT_EQ(s.status, FM_ST_SCRATCH_OPEN);
    // Without a pool the scratch reaches the innermost file.
    FmFdb si = fdb();
    EXPECT_EQ(FM_SCRATCH(&si, 0), 1) << si.status;
    FmArb* again = open(com.depth);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(all(again), V{"outer"});
  });
  EXPECT_TRUE(FM_CLOSE(o, 0));
}

TEST_F(FmMemScope, AnOuterHandleStillReachesAFileThatOnlyANestedScopeHas) {
  int outer = com.depth;
  size_t base = fm_memfile_count(), handles = fm_open_count();
  mark(1, [&] {
    FmArb* i = create(com.depth);
    ASSERT_NE(i, nullptr);
    put(i, "inner");
    // Opened for the outer scope (as callers keep handles in the base
    // scope): the nearest deeper file, the only one there is.
    FmArb* h = open(outer);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(all(h), V{"inner"});
  });
  EXPECT_EQ(fm_memfile_count(), base);
  EXPECT_EQ(open(outer), nullptr);
  EXPECT_EQ(fm_open_count(), handles);
}

// A close that scratches removes the file its handle reached, never
// another scope's file of the same identity.
// The outer scope's handle closes with scratch while a nested scope has its
// own file of the identity: the outer file goes, the nested one stays.
TEST_F(FmMemScope, CloseWithScratchRemovesTheFileItsHandleReached) {
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
TEST_F(FmMemScope, CloseWithScratchOfTheNestedFileKeepsTheOuterOne) {
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

// Thousands of identities made and scratched at random in an outer and a
// nested scope (the look-up table grows and its entries move back as
// others leave): each identity is found exactly where a map says it is, and
// the nested scope's files go with it.
TEST_F(FmMemScope, ManyIdentitiesComeAndGoAsAMapSays) {
  auto named = [](int n) {
    FmFdb f = fdb();
    char name[9];
    std::snprintf(name, sizeof name, "N%07d", n);
    f.name.set(name);
    return f;
  };
  auto make = [&](int n, int scope) {
    FmFdb f = named(n);
    if (!FM_CREATE(&f, scope, 0, 0, 15, 15)) return false;
    put(f.handle.get(), std::to_string(scope).c_str());  // the file says whose it is
    return FM_CLOSE(f.handle.get(), 0) == 1;
  };
  // Which scope's file a look-up from the current scope reaches (-1 none).
  auto where = [&](int n) {
    FmFdb f = named(n);
    if (!FM_OPEN(&f, com.depth, 0, 15, 15)) return -1;
    V v = all(f.handle.get());
    FM_CLOSE(f.handle.get(), 0);
    return v.size() == 1 ? std::stoi(v[0]) : -2;
  };
  constexpr int kIds = 3000;
  std::mt19937 g(7);
  std::map<int, std::vector<int>> oracle;  // identity: its files' scopes, outermost first
  size_t base = fm_memfile_count();
  int outer = com.depth;
  auto churn = [&](int scope, int rounds) {
    for (int r = 0; r < rounds; ++r) {
      int n = int(g() % kIds);
      auto& v = oracle[n];
      bool mine = !v.empty() && v.back() == scope;
      if (!mine) {
        ASSERT_TRUE(make(n, scope)) << n;
        v.push_back(scope);
      } else {
        FmFdb f = named(n);
        ASSERT_EQ(FM_SCRATCH(&f, 0), 1) << n << " " << f.status;
        v.pop_back();
      }
    }
  };
  auto check = [&] {
    size_t files = 0;
    for (int n = 0; n < kIds; ++n) {
      auto it = oracle.find(n);
      int expect = it == oracle.end() || it->second.empty() ? -1 : it->second.back();
      ASSERT_EQ(where(n), expect) << n;
      if (it != oracle.end()) files += it->second.size();
    }
    EXPECT_EQ(fm_memfile_count(), base + files);
  };
  churn(outer, 6000);
  check();
  auto before = oracle;
  mark(1, [&] {
    churn(com.depth, 4000);
    check();
  });
  oracle = before;
  check();
  for (auto& [n, v] : oracle)
    if (!v.empty()) {
      FmFdb f = named(n);
      ASSERT_EQ(FM_SCRATCH(&f, 0), 1) << n;
    }
  EXPECT_EQ(fm_memfile_count(), base);
}

}  // namespace
