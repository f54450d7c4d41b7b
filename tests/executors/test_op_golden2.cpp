// Golden reports of the test application op-app (OPA) printed by the real
// engine: characteristics changed while printing, scrolling windows, PRINT
// and the widest report.
#include <gtest/gtest.h>

#include <string>

#include "executors/op_fixture.h"

namespace {

using namespace opfx;

class OpGold : public Op {
 protected:
  // The print file of an Output process run alone (KEEP: it stays).
  std::string report(const std::string& name) {
    TempDir d;
    QuvoRun r = output(name, d.str());
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    return slurp(d.sub("PRTFI000"));
  }
};

TEST_F(OpGold, CharacteristicsChangedWhilePrintingBecomeOverstrikes) {
  EXPECT_EQ(report("OP BOLD"), golden("bold.golden"));
}

// One window of each scrolling kind over the five sales, a warning below
// some of them.
TEST_F(OpGold, ScrollingWindowsOfTheThreeKindsFillTheirRegions) {
  EXPECT_EQ(report("OP MATRIX"), golden("matrix.golden"));
  EXPECT_EQ(report("OP ACROSS"), golden("across.golden"));
  EXPECT_EQ(report("OP COLUMNS"), golden("columns.golden"));
}

TEST_F(OpGold, PrintedRegionsWrapCutAndTurnPages) {
  EXPECT_EQ(report("OP PRINT"), golden("print.golden"));
}

}  // namespace
