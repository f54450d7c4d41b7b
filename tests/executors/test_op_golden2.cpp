// Golden reports of the test application op-app (OPA) printed by the real
// engine: characteristics changed while printing, scrolling windows, PRINT
// and the widest report.
#include <gtest/gtest.h>

#include <string>

#include "executors/op_fixture.h"
#include "executors/op_ranges.h"

namespace {

using namespace opfx;

class OpGold : public Op {
 protected:
  // The print file of an Output process run alone (KEEP: it stays).
  // The clock and the heading's date mask fixed.
  std::string report(const std::string& name) {
    TempDir d;
    QuvoRun r = run_quvo({"-d", "OPD", "-a", "OPA", "-t", "Output", "-p", name},
                         {"QUVOPATH=" + var, "QUVO_PRT_FI_DIR=" + d.str(), "TERM=dumb",
                          "QUVO_FAKE_TIME=20260102030405", "QUVO_STD_PGH_MASK=06/05/77 04:03"});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    return slurp(d.sub("PRTFI000"));
  }
};

// Bold, underline, hidden and substituted cells set by OP_UPD_CHR.
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

// The standard heading, column headings and total at the widest report,
// and at one column more: the report stays 255 wide.
TEST_F(OpGold, StandardHeadingsAndTotalsAtTheWidestReportAndOnePast) {
  EXPECT_EQ(report("OP WIDE"), golden("wide.golden"));
  EXPECT_EQ(report("OP WIDER"), golden("wider.golden"));
}

// Range levels on the widest report: the standard subheadings, and the
// range totals ending in column 255, rolled into the report total.
TEST_F(OpGold, StandardSubheadingsAndSubtotalsAtTheWidestReport) {
  TempDir d;
  ASSERT_EQ(run_ranges(var, d.str(), true, "OP WIDE RANGES MENU"), 0);
  EXPECT_EQ(slurp(d.sub("PRTFI000")), golden("wideranges.golden"));
}

}  // namespace
