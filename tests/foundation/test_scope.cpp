// Recovery scopes: nesting, unwinding, release order, resets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "support/syserr.h"

namespace {
std::vector<std::string> g_events;

void ev_windows(int d) { g_events.push_back("windows " + std::to_string(d)); }
void ev_query(int d) { g_events.push_back("query " + std::to_string(d)); }
void ev_files(int d) { g_events.push_back("files " + std::to_string(d)); }
void ev_pools(int d) { g_events.push_back("pools " + std::to_string(d)); }
void ev_cleanup(int d) { g_events.push_back("cleanup " + std::to_string(d)); }

struct ScopeTest : ::testing::Test {
  void SetUp() override {
    g_events.clear();
    ut_on_release(Release::Windows, ev_windows);
    ut_on_release(Release::Query, ev_query);
    ut_on_release(Release::Files, ev_files);
    ut_on_release(Release::Pools, ev_pools);
    ASSERT_EQ(com.depth, 0);
  }
  void TearDown() override { EXPECT_EQ(com.depth, 0); }
};
}  // namespace

TEST_F(ScopeTest, NormalReturnReleasesInOrder) {
  int code = mark(5, [] { g_events.push_back("run"); }, ev_cleanup);
  EXPECT_EQ(code, 1);
  std::vector<std::string> want = {"run", "cleanup 1", "windows 1", "query 1", "files 1", "pools 1"};
  EXPECT_EQ(g_events, want);
}

TEST_F(ScopeTest, UnwindFromNestedScopesReleasesOnlyWhatItLeaves) {
  MmPool outer = 0, mid = 0, inner = 0;
  int code = mark(1, [&] {
    outer = mm_create_pool(nullptr, com.depth, 0);
    int c2 = mark(4, [&] {
      mid = mm_create_pool(nullptr, com.depth, 0);
      mark(5, [&] {
        inner = mm_create_pool(nullptr, com.depth, 0);
        ut_unwind_to(2, 4);  // past scope 3 into scope 2
      }, ev_cleanup);
      ADD_FAILURE() << "scope 3 must not return";
    }, ev_cleanup);
    EXPECT_EQ(c2, 4);
    EXPECT_EQ(mm_pool_scope(inner), -1);
    EXPECT_EQ(mm_pool_scope(mid), -1);
    EXPECT_EQ(mm_pool_scope(outer), 1);  // still alive
    g_events.push_back("back in 1");
  }, ev_cleanup);
  EXPECT_EQ(code, 1);
  EXPECT_EQ(mm_pool_scope(outer), -1);
  std::vector<std::string> want = {
      "cleanup 3", "windows 3", "query 3", "files 3", "pools 3",
      "cleanup 2", "windows 2", "query 2", "files 2", "pools 2",
      "back in 1",
      "cleanup 1", "windows 1", "query 1", "files 1", "pools 1"};
  EXPECT_EQ(g_events, want);
}

TEST_F(ScopeTest, SystemErrorCancelLandsInTheInnermostScope) {
  SysErrCapture cap(SysErrAnswer::Cancel);
  std::vector<int> codes;
  int c1 = mark(1, [&] {
    int c2 = mark(4, [&] {
      int c3 = mark(5, [&] {
        std::snprintf(ut_dbg, sizeof ut_dbg, "broken %d", 7);
        os_sys_err("TEST", 42);
        ADD_FAILURE() << "CANCEL returned";
      });
      codes.push_back(c3);
    });
    codes.push_back(c2);
  });
  codes.push_back(c1);
  EXPECT_EQ(codes, (std::vector<int>{3, 1, 1}));
  ASSERT_EQ(cap.count(), 1u);
  EXPECT_EQ(cap.log()[0].module, "TEST");
  EXPECT_EQ(cap.log()[0].line, 42);
  EXPECT_EQ(cap.log()[0].text, "broken 7");
}

TEST_F(ScopeTest, ContinueReturnsToTheCaller) {
  SysErrCapture cap(SysErrAnswer::Continue);
  bool after = false;
  int code = mark(5, [&] {
    std::snprintf(ut_dbg, sizeof ut_dbg, "just a warning");
    os_sys_err("TEST", 1);
    after = true;
  });
  EXPECT_EQ(code, 1);
  EXPECT_TRUE(after);
}

TEST_F(ScopeTest, ScopeNumbersFollowTheTypesAndAreRestored) {
  com.proc_scope = 0;
  com.subproc_scope = 0;
  com.evt_scope = 7;
  mark(1, [] {
    EXPECT_EQ(com.proc_scope, 1);
    EXPECT_EQ(com.subproc_scope, 1);
    mark(4, [] {
      EXPECT_EQ(com.proc_scope, 1);
      EXPECT_EQ(com.subproc_scope, 2);
      mark(5, [] {
        EXPECT_EQ(com.proc_scope, 1);
        EXPECT_EQ(com.subproc_scope, 2);
        mark(6, [] { EXPECT_EQ(com.proc_scope, 7); });
        EXPECT_EQ(com.proc_scope, 1);
        ut_unwind(2);
      });
      EXPECT_EQ(com.subproc_scope, 2);
    });
    EXPECT_EQ(com.subproc_scope, 1);
  });
  EXPECT_EQ(com.proc_scope, 0);
  EXPECT_EQ(com.subproc_scope, 0);
  com.evt_scope = 0;
}

TEST_F(ScopeTest, ResetEntriesRestoreTheOldestValue) {
  int var = 10;
  mark(5, [&] {
    int saved = var;
    ut_add_reset(com.depth, &var, &saved, sizeof var);
    var = 20;
    saved = var;
    ut_add_reset(com.depth, &var, &saved, sizeof var);
    var = 30;
    ut_unwind(3);
  });
  EXPECT_EQ(var, 10);
  // Entries belong to their own scope only.
  mark(5, [&] {
    int saved = var;
    ut_add_reset(com.depth, &var, &saved, sizeof var);
    var = 11;
    mark(5, [&] { var = 12; });
    EXPECT_EQ(var, 12);
  });
  EXPECT_EQ(var, 10);
}

TEST_F(ScopeTest, UnwindDuringCleanupIsMergedAndReleaseGoesOn) {
  SysErrCapture cap(SysErrAnswer::Cancel);
  int code = mark(5, [] { ut_unwind(24); },
                  [](int) { ut_unwind(37); });
  EXPECT_EQ(code, 37);
  EXPECT_EQ(g_events.back(), "pools 1");
}

TEST(CompletionCode, MergeOrder) {
  EXPECT_EQ(ut_merge_code(4, 37), 37);
  EXPECT_EQ(ut_merge_code(37, 4), 37);
  EXPECT_EQ(ut_merge_code(3, 4), 4);
  EXPECT_EQ(ut_merge_code(24, 3), 3);
  EXPECT_EQ(ut_merge_code(25, 24), 24);
  EXPECT_EQ(ut_merge_code(1, 25), 25);
  EXPECT_EQ(ut_merge_code(2, 5), 2);  // neither ranked: the first stays
}
