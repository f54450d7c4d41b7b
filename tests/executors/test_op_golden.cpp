// Golden reports of the test application op-app printed by the real engine:
// children printing into their parent's report, a separate report process,
// page footings, separators and detail suppression. Each print file (KEEP)
// is compared byte for byte with its golden. Also the statement check of a
// report's images.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "executors/op_fixture.h"

namespace {

using namespace opfx;

TEST_F(Op, AChildPrintsItsRecordsIntoItsParentsPages) {
  QuvoRun r = output("OP FAMILY", prt.str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), golden("family.golden"));
  EXPECT_EQ(files(prt.path), 2u) << "one report: the child opens no print file";
}

TEST_F(Op, ASeparateReportProcessPrintsEveryPagesHeadingAndFooting) {
  QuvoRun r = output("OP SEPRPT", prt.str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), golden("seprpt.golden"));
  EXPECT_EQ(files(prt.path), 2u) << "one report: the report process opens no print file";
}

TEST_F(Op, PageFootingsPrintAtTheFootOfEveryPageTheLastIncluded) {
  QuvoRun r = output("OP FOOT", prt.str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), golden("foot.golden"));
}

// The footing's lines stay free: an item whose lines would reach into them
// goes to the next page.
TEST_F(Op, AnItemThatWouldReachIntoTheFootingGoesToTheNextPage) {
  QuvoRun r = output("OP FOOT TIGHT", prt.str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), golden("foottight.golden"));
}

TEST_F(Op, BlankLinesBeforeCompressedImagesAndSeparatorLines) {
  QuvoRun r = output("OP RULED", prt.str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), golden("ruled.golden"));
}

TEST_F(Op, DetailSuppressionWritesNoDetailImageButTheFramesRun) {
  QuvoRun r = output("OP SUMMARY", prt.str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), golden("summary.golden"));
  // Again, from the module the first run saved: its summary item still
  // shows the total.
  TempDir again;
  r = output("OP SUMMARY", again.str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(again.sub("PRTFI000")), golden("summary.golden"));
}

// The statement check compiles a report's images as its report would take
// them: 21 rows and 255 columns pass, a row or a column more is refused at
// the process's line; so is what the compiler refuses outside the
// statements (a frame without a mode).
TEST_F(Op, TheStatementCheckSaysWhatTheCompilerAndTheReportRefuse) {
  TempDir d;
  std::string file = d.sub("big.stmt");
  for (const char* name : {"OP BIG IMAGE", "OP BIGGER IMAGE", "OP NO MODE"})
    std::ofstream(file, std::ios::app) << "process output " << name << "\nstatements 1\n      CALC     A  = 1\n";
  QuvoRun r = run_quvo({"--check", var, "OPA", file}, {}, {}, QUVOGEN_BINARY);
  EXPECT_EQ(r.status, 1);
  const std::string at = file + ":4:1: Output OP BIGGER IMAGE: image 1 of frame ";
  const std::string most = "; a report image has at most 21 rows and 255 columns\n";
  EXPECT_EQ(r.err, at + "1 is 22 x 1 (rows x columns)" + most + at + "2 is 1 x 256 (rows x columns)" + most + file +
                       ":7:1: Output OP NO MODE does not compile: frame 0 1: 101920 Frame mode must be 1, 2 or 3\n");
}

// An Input process whose frame waits for no key shows the items one after
// another and ends after the last (it passed again and again before, deaf
// to SIGTERM: a minute's kill stops it then).
TEST_F(Op, AnInputProcessThatNeverWaitsEndsAfterItsLastRecord) {
  QuvoRun r = run_quvo({"-d", "OPD", "-a", "OPA", "-t", "Input", "-p", "OP ITEMS SHOWN"}, {"QUVOPATH=" + var, "TERM=dumb"},
                       {"/usr/bin/timeout", "-s", "KILL", "60"});
  EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
