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

void ev_reset(int d) { g_events.push_back("reset " + std::to_string(d)); }
void ev_windows(int d) { g_events.push_back("windows " + std::to_string(d)); }
void ev_query(int d) { g_events.push_back("query " + std::to_string(d)); }
void ev_files(int d) { g_events.push_back("files " + std::to_string(d)); }
void ev_pools(int d) { g_events.push_back("pools " + std::to_string(d)); }
void ev_cleanup(int d) { g_events.push_back("cleanup " + std::to_string(d)); }

struct ScopeTest : ::testing::Test {
  void SetUp() override {
    g_events.clear();
    ut_on_release(Release::Reset, ev_reset);
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
  std::vector<std::string> want = {"run", "cleanup 1", "reset 1", "windows 1", "query 1", "files 1", "pools 1"};
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
      "cleanup 3", "reset 3", "windows 3", "query 3", "files 3", "pools 3",
      "cleanup 2", "reset 2", "windows 2", "query 2", "files 2", "pools 2",
      "back in 1",
      "cleanup 1", "reset 1", "windows 1", "query 1", "files 1", "pools 1"};
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

// The system error log keeps the last 256 errors.
TEST_F(ScopeTest, TheErrorLogKeepsTheLast256) {
  SysErrCapture cap(SysErrAnswer::Continue);
  for (int i = 1; i <= 257; ++i) {
    os_sys_err_text("TEST", i, "logged");
    if (i == 256) {
      EXPECT_EQ(cap.log().front().line, 1);
    }
  }
  ASSERT_EQ(cap.count(), 256u);
  EXPECT_EQ(cap.log().front().line, 2);
  EXPECT_EQ(cap.log().back().line, 257);
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
        mark(6, [] {
          EXPECT_EQ(com.proc_scope, 7);
          com.evt_scope = 3;
        });
        EXPECT_EQ(com.evt_scope, 7);
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

namespace {
int* g_watched = nullptr;
int g_seen_in_cleanup = 0;
void watch(int) { g_seen_in_cleanup = *g_watched; }
}  // namespace

TEST_F(ScopeTest, ResetEntriesRestoreTheOldestValue) {
  SysErrCapture cap(SysErrAnswer::Continue);
  int var = 10;
  mark(5, [&] {
    int saved = var;
    ut_add_reset(com.depth, &var, &saved, sizeof var);
    var = 20;
    saved = var;
    ut_add_reset(com.depth, &var, &saved, sizeof var);
    EXPECT_EQ(com.scopes[com.depth - 1].reset_count, 2u);
    var = 30;
    ut_unwind(3);
  });
  EXPECT_EQ(var, 10);
  EXPECT_EQ(com.scopes[0].reset_count, 0u);
  // Entries belong to their own scope only.
  mark(5, [&] {
    int saved = var;
    ut_add_reset(com.depth, &var, &saved, sizeof var);
    var = 11;
    mark(5, [&] { var = 12; });
    EXPECT_EQ(var, 12);
  });
  EXPECT_EQ(var, 10);
  // Once stored back, a scope's entries are gone: the next scope of that
  // depth leaves the variable alone.
  var = 50;
  mark(5, [] {});
  EXPECT_EQ(var, 50);
  // The clean-up still sees the scope's own value: entries are stored back
  // after it.
  g_watched = &var;
  mark(5, [&] {
    int saved = var;
    ut_add_reset(com.depth, &var, &saved, sizeof var);
    var = 60;
  }, watch);
  EXPECT_EQ(g_seen_in_cleanup, 60);
  EXPECT_EQ(var, 50);
  EXPECT_EQ(cap.count(), 0u);
  // An entry for no scope (0) or one not entered is refused.
  mark(5, [&] {
    int saved = 1;
    ut_add_reset(0, &var, &saved, sizeof var);
    ut_add_reset(com.depth + 1, &var, &saved, sizeof var);
  });
  EXPECT_EQ(cap.count(), 2u);
  EXPECT_EQ(var, 50);
}

// Scopes nest to the deepest level and no further: the one past it is
// refused as a system error, and the scopes around it go on.
namespace {
int g_deepest = 0;
int g_refused = 0;
void nest(void*) {
  g_deepest = com.depth;
  int code = MARK(5, nest, nullptr, nullptr);
  if (code != 1) g_refused = code;
}
}  // namespace

TEST_F(ScopeTest, NestsToTheDeepestLevelAndNoFurther) {
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(MARK(5, nest, nullptr, nullptr), 1);
  EXPECT_EQ(g_deepest, kComMaxScopes);
  EXPECT_EQ(g_refused, 3);
  ASSERT_EQ(cap.count(), 1u);
  EXPECT_EQ(cap.last(), "MARK() - recovery scopes nested too deep (" + std::to_string(kComMaxScopes + 1) + ")");
}

TEST_F(ScopeTest, UnwindDuringCleanupIsMergedAndReleaseGoesOn) {
  SysErrCapture cap(SysErrAnswer::Cancel);
  int code = mark(5, [] { ut_unwind(24); },
                  [](int) { ut_unwind(37); });
  EXPECT_EQ(code, 37);
  EXPECT_EQ(g_events.back(), "pools 1");
  // The higher code wins whichever comes first; after a normal return the
  // clean-up's unwind is the scope's code.
  EXPECT_EQ(mark(5, [] { ut_unwind(37); }, [](int) { ut_unwind(24); }), 37);
  EXPECT_EQ(mark(5, [] {}, [](int) { ut_unwind(5); }), 5);
  // An unwind passing on to an outer scope takes along a higher code raised
  // on its way.
  code = mark(5, [] {
    mark(5, [] { ut_unwind_to(1, 3); }, [](int) { ut_unwind(37); });
    ADD_FAILURE() << "scope 2 must not return";
  });
  EXPECT_EQ(code, 37);
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
