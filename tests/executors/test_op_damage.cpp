// Reports over a data directory whose dictionary a member of the group
// damaged: the range field's look-up in a subheading meets element records
// of any type, length, offset, key number and scale, and the report still
// ends normally with what can be printed.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "executors/op_fixture.h"
#include "executors/op_ranges.h"

namespace fs = std::filesystem;

namespace {

using namespace opfx;

// Rewrites the ELEMENT records of OPA in data directory var that change
// alters (returns true), as a member of the group who may write the
// dictionary could; in a child, so the test's own file manager is left
// alone. The number of records rewritten, or -1.
int damage(const std::string& var, const std::function<bool(DElem&)>& change) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(30);
    bi_init_com();
    fms_init();
    setenv("QUVOPATH", var.c_str(), 1);
    MmPool pool = mm_create_pool(" DAMAGE", 0, 0);
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
    auto* e = static_cast<DElem*>(MM_ALLOC(pool, sizeof(DElem)));
    FmFdb fdb;
    if (!fm_open_dict(&fdb, INIT_DELEM_FDB, kdb, sdb, "OPA", "00", com.depth, 15)) _exit(255);
    FmArb* a = fdb.handle.get();
    PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(e));
    int n = 0;
    a->op = FM_OP_HOLD;
    while (fm_rdnxt(a)) {
      if (!change(*e)) continue;
      if (!fm_rewrite(a)) _exit(254);
      ++n;
    }
    FM_CLOSE(a, 0);
    _exit(n);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) && WEXITSTATUS(st) < 254 ? WEXITSTATUS(st) : -1;
}

bool named(const DElem& e, const char* name) { return e.name.trimmed() == name; }

class OpDamage : public Op {
 protected:
  void SetUp() override {
    Op::SetUp();
    os_set_sys_err_responder([](const char* m, int l, const char* t) {
      std::fprintf(stderr, "SYSERR %s:%d %s\n", m, l, t);
      return SysErrAnswer::Continue;
    });
  }
  void TearDown() override { os_set_sys_err_responder(nullptr); }
  TempDir other;
  // A data directory of its own, the report's module compiled and saved
  // in it before the dictionary is damaged.
  std::string copy() {
    fs::copy(var, other.sub("var"), fs::copy_options::recursive);
    TempDir first;
    EXPECT_EQ(run_ranges(other.sub("var"), first.str(), true), 0);
    return other.sub("var");
  }
};

// The subheadings print without the region's look-up lines and the run
// ends normally.
void ends_without_lookup(int rc, const std::string& report) {
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(report.find("NORTH"), std::string::npos) << report;
  EXPECT_NE(report.find("Report totals"), std::string::npos) << report;
}

// The range field and the look-up key with 200 decimals: converting the
// region number to the key divided by zero and ended the session.
TEST_F(OpDamage, ScalesPastThirtyOneDigitsLookNothingUp) {
  std::string v = copy();
  ASSERT_EQ(damage(v, [](DElem& e) {
              if (!named(e, "SALE REGION") && !named(e, "REGION NO")) return false;
              e.decimals = 200;
              return true;
            }),
            2);
  int rc = run_ranges(v, other.str(), true);
  ends_without_lookup(rc, slurp(other.sub("PRTFI000")));
}

// The look-up key made a calculation value of 4 bytes at the end of the
// 18-byte record: the key was written 9 bytes long, past the buffer.
TEST_F(OpDamage, AShortCalculationKeyAtTheRecordsEndIsNotWritten) {
  std::string v = copy();
  ASSERT_EQ(damage(v, [](DElem& e) {
              if (!named(e, "REGION NO")) return false;
              e.type = 12;
              e.offset = 14;
              return true;
            }),
            1);
  int rc = run_ranges(v, other.str(), true);
  ends_without_lookup(rc, slurp(other.sub("PRTFI000")));
}

}  // namespace
