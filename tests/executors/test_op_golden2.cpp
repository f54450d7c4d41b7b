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
// some of them; a page heading's window found full while it prints.
TEST_F(OpGold, ScrollingWindowsOfTheThreeKindsFillTheirRegions) {
  EXPECT_EQ(report("OP MATRIX"), golden("matrix.golden"));
  EXPECT_EQ(report("OP ACROSS"), golden("across.golden"));
  EXPECT_EQ(report("OP COLUMNS"), golden("columns.golden"));
  EXPECT_EQ(report("OP HEAD WINDOW"), golden("headwnd.golden"));
}

// Regions from the page's last column and from one past it.
TEST_F(OpGold, PrintedRegionsWrapCutAndTurnPages) {
  EXPECT_EQ(report("OP PRINT"), golden("print.golden"));
  EXPECT_EQ(report("OP PRINT EDGE"), golden("printedge.golden"));
}

// The standard heading, column headings and total at the widest report,
// and at one column more: the report stays 255 wide. Two images over the
// last columns: the first's heading checks their owner up to column 255.
TEST_F(OpGold, StandardHeadingsAndTotalsAtTheWidestReportAndOnePast) {
  EXPECT_EQ(report("OP WIDE"), golden("wide.golden"));
  EXPECT_EQ(report("OP WIDER"), golden("wider.golden"));
  EXPECT_EQ(report("OP WIDE TWO"), golden("widetwo.golden"));
}

// Range levels on the widest report: the standard subheadings, and the
// range totals ending in column 255, rolled into the report total.
TEST_F(OpGold, StandardSubheadingsAndSubtotalsAtTheWidestReport) {
  TempDir d;
  ASSERT_EQ(run_ranges(var, d.str(), true, "OP WIDE RANGES MENU"), 0);
  EXPECT_EQ(slurp(d.sub("PRTFI000")), golden("wideranges.golden"));
}

// The application's own range end frames show their totals: one at the
// most a total holds (15 digits) and one rolled a digit past it, which
// shows its mask's overflow form.
TEST_F(OpGold, RangeEndTotalsAtFifteenDigitsAndOnePast) {
  TempDir d;
  ASSERT_EQ(run_ranges(var, d.str(), true, "OP BIG TOTALS MENU", false), 0);
  EXPECT_EQ(slurp(d.sub("PRTFI000")), golden("bigtotals.golden"));
}

}  // namespace
