// Output and Inquiry processes run by the real engine over the test
// application op-app (OPA, database OPD): how a report's run ends, and what
// reaches the print directory.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>
#include <string>
#include <vector>

#include "engine.h"
#include "executors/op.h"
#include "files/fm.h"
#include "foundation/os.h"
#include "process/pb.h"
#include "process/pbutil.h"
#include "screen/km.h"
#include "screen/memterm.h"
#include "screen/wm.h"
#include "support/child_test.h"
#include "support/quvo_run.h"
#include "support/query_sort.h"
#include "support/tmux.h"
#include "executors/op_fixture.h"
#include "executors/op_ranges.h"

namespace fs = std::filesystem;

namespace {

using namespace opfx;

TEST_F(Op, WithoutFramesTheRunEndsNormallyAndPrintsNothing) {
  QuvoRun r = output("OP EMPTY", prt.str());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(files(prt.path), 0u);
}

// KEEP: the print file and its settings stay, no script runs; every record
// once, each line's values in place.
TEST_F(Op, TheItemListKeptEqualsItsGolden) {
  QuvoRun r = output("OP LIST", prt.str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), golden("list.golden"));
  std::string cfg = slurp(prt.sub("PRTFI000.cfg"));
  EXPECT_EQ(cfg.substr(0, 11), "-mode=KEEP\n") << cfg;
  EXPECT_EQ(files(prt.path), 2u);
}

TEST_F(Op, HeadingReportStartAndEndFramesOnTheirPages) {
  QuvoRun r = output("OP HEAD", prt.str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), golden("head.golden"));
}

// The standard heading, column headings and automatic total, printed by
// the processes of 0LA that the executor fills the STD and STDTSUM records
// for.
TEST_F(Op, StandardHeadingColumnHeadingsAndAutomaticTotal) {
  QuvoRun r = run_quvo({"-d", "OPD", "-a", "OPA", "-t", "Output", "-p", "OP STD"},
                       {"QUVOPATH=" + var, "QUVO_PRT_FI_DIR=" + prt.str(), "TERM=dumb",
                        "QUVO_FAKE_TIME=20260102030405", "QUVO_STD_PGH_MASK=06/05/77 04:03"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), golden("std.golden"));
}

TEST_F(Op, MessagesPendingAtTheEndGoIntoTheReport) {
  QuvoRun r = output("OP NOTE", prt.str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), golden("note.golden"));
}

TEST_F(Op, APrintDirectoryThatCannotHoldTheFileEndsTheOwnerWith300580) {
  // Not a directory at all (the suite may run as root, whom no mode stops).
  prt.write("plain", "a file\n");
  QuvoRun r = output("OP LIST", prt.sub("plain") + "/reports");
  EXPECT_TRUE(ended(r, 255, {"ended with completion code 300580"}));
  EXPECT_EQ(files(prt.path), 1u) << "no print file and no settings file";
}

// Two range levels of a query: each range starts with its standard
// subheading (a region's with the descriptive fields of its record in the
// look-up file, none for a region the file lacks) and ends with its
// standard subtotal, the branch's total
// rolled into its region's and the regions' into the report total of the
// query's grand-total line. Without that line (a second run, of the module
// the first one saved) the ranges print the same and no report total
// follows.
TEST_F(Op, RangeLevelsGetStandardSubheadingsAndSubtotalsRolledUp) {
  int rc = run_ranges(var, prt.str(), true);
  ASSERT_EQ(rc, 0);
  std::string want = golden("ranges.golden");
  EXPECT_EQ(slurp(prt.sub("PRTFI000")), want);

  // A data directory of its own: the query files stay in it.
  TempDir other;
  fs::copy(var, other.sub("var"), fs::copy_options::recursive);
  ASSERT_EQ(run_ranges(other.sub("var"), other.str(), false), 0);
  std::string total = "\nReport totals\n                   43";
  size_t at = want.find(total);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(slurp(other.sub("PRTFI000")), want.erase(at, total.size()));
}

// In process: the clean-up of an owner whose print file could not be made
// takes the report out of the registry (its pool goes with its scope).
TEST(OpCleanup, AReportWithoutPrintFileLeavesTheRegistry) {
  TempDir d;
  d.write("plain", "a file\n");
  setenv("QUVO_PRT_FI_DIR", (d.sub("plain") + "/reports").c_str(), 1);
  char path[255];
  RmRpt* r = rm_create("NO FILE", "", 80, path, 0);
  unsetenv("QUVO_PRT_FI_DIR");
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->status.get(), kRmNoFile);
  uint16_t number = r->number;
  ASSERT_EQ(rm_find(number), r);
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* pcb = static_cast<Pcb*>(MM_ALLOC(pool, sizeof(Pcb)));
  std::memset(static_cast<void*>(pcb), 0, sizeof(Pcb));
  pcb->report = Ref<void>::of(r);
  op_pcb(pcb).owner.set(pcb);
  pcb->invoc.completion = int32_t(kRmNoFile);
  EXPECT_EQ(op_cleanup(pcb), 2);
  EXPECT_EQ(rm_find(number), nullptr);
  EXPECT_FALSE(pcb->report);
  mm_destroy_pool(pool);
}

// The same reports as a person runs them, on a terminal: "print on screen"
// asked for by the report's print options.
class OpRun : public tmuxrun::PaneTest {
 protected:
  static inline std::string root, data;

  static void SetUpTestSuite() {
    using tmuxrun::q;
    ASSERT_EQ(tmuxrun::make_engine_dir("quvo-oprun", &root, &data), 0);
    int rc = 0;
    tmuxrun::sh(q(QUVOGEN_BINARY) + " " + q(QUVO_DATA_APPS) + " " + q(QUVO_TEST_DIR "/executors/op-app") + " " +
                    q(root + "/boot") + " >/dev/null 2>&1",
                &rc);
    ASSERT_EQ(rc, 0) << "quvogen";
    std::string env = "env -i PATH=/usr/bin:/bin" + tmuxrun::sanitizer_env() + " QUVOPATH=" + q(data);
    tmuxrun::sh(env + " QUVO_BOOT_SRC=" + q(root + "/boot") + " QUVO_BOOT_AP=OPA " + q(QUVO_BINARY) +
                    " -b >/dev/null 2>&1",
                &rc);
    ASSERT_EQ(rc, 0) << "adding OPA";
    tmuxrun::sh(env + " " + q(QUVO_BINARY) + " -d OPD -a OPA -t Subroutine -p 'OP SETUP' >/dev/null 2>&1", &rc);
    ASSERT_EQ(rc, 127) << "OP SETUP";
  }
  static void TearDownTestSuite() { tmuxrun::sh("rm -rf " + tmuxrun::q(root)); }
  void SetUp() override {
    open_pane(root, "quvo-op");
    prt = dir + "/prt";
    fs::create_directories(prt);
    // A print script that records its arguments.
    script = dir + "/record.sh";
    std::ofstream(script) << "#!/bin/sh\nprintf '[%s]' \"$@\" >> " << dir << "/ran\n";
    fs::permissions(script, fs::perms::owner_all);
  }

  std::string prt, script;
  // Starts the report; true when it waits for a key.
  bool start(const std::string& proc, const std::string& type = "Output") {
    using tmuxrun::q;
    run_in_pane("QUVOPATH=" + q(data) + " QUVO_PRT_FI_DIR=" + q(prt) + " QUVO_PRT_SCRIPT=" + q(script) + " " +
                q(QUVO_USER_BINARY) + " -d OPD -a OPA -t " + type + " -p " + q(proc));
    return waits(1);
  }
  std::string row(int n) { return screen()[size_t(n - 1)]; }
};

// The item inquiry as a person uses it: a key no item has prints nothing;
// a keyed item prints one report (KEEP: the file stays, no script); NEXT
// shows the following item without printing it, ENTER prints that one;
// NEXT past the last item says so and stays on the frame; END leaves.
TEST_F(OpRun, AnInquiryPrintsOneReportPerKeyedRecordAndStopsAtTheEnd) {
  ASSERT_TRUE(start("OP INQ", "Inquiry")) << tmuxrun::slurp(dir + "/err");
  EXPECT_EQ(row(1), "  Item inquiry");
  key("C-u");
  key("9");
  key("Enter");
  EXPECT_NE(row(24).find("Record not found"), std::string::npos) << row(24);
  EXPECT_EQ(files(prt), 0u);
  key("C-u");
  key("2");
  key("Enter");
  EXPECT_EQ(tmuxrun::slurp(prt + "/PRTFI000"), golden("inq.golden"));
  EXPECT_EQ(tmuxrun::slurp(prt + "/PRTFI000.cfg").substr(0, 11), "-mode=KEEP\n");
  key("C-n");
  EXPECT_EQ(row(2), "  Item             3");
  EXPECT_EQ(files(prt), 2u) << "NEXT shows the record, it prints nothing";
  key("Enter");
  EXPECT_EQ(tmuxrun::slurp(prt + "/PRTFI001"), "\nItem         3  quantity        30\f");
  key("C-n");
  EXPECT_NE(row(24).find("End of file"), std::string::npos) << row(24);
  EXPECT_EQ(row(1), "  Item inquiry");
  EXPECT_EQ(files(prt), 4u);
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0) << err;
  EXPECT_EQ(err, "");
  EXPECT_FALSE(fs::exists(dir + "/ran"));
}

// An inquiry starts a report per record: the heading's window of each is
// its own (two regions across, 10 columns each, one row: the third image
// opens it again), never one left from the report before.
TEST_F(OpRun, EveryInquiryReportHasItsHeadingsWindow) {
  ASSERT_TRUE(start("OP INQ WINDOW", "Inquiry")) << tmuxrun::slurp(dir + "/err");
  for (int item = 1; item <= 3; ++item) {
    key("C-u");
    key(std::to_string(item));
    key("Enter");
    EXPECT_EQ(tmuxrun::slurp(prt + "/PRTFI00" + std::to_string(item - 1)),
              "\nHeading A Heading B\nHeading C\nItem         " + std::to_string(item) + "  quantity        " +
                  std::to_string(item * 10) + "\f");
  }
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0) << err;
}

TEST_F(OpRun, PrintOnScreenCancelledLeavesNoPrintFileAndRunsNoScript) {
  ASSERT_TRUE(start("OP SCREEN")) << tmuxrun::slurp(dir + "/err");
  EXPECT_EQ(screen()[0], "  The report is ready.");
  EXPECT_EQ(screen()[2], "  Press ENTER to print it, CANCEL to discard it.");
  tmux("send-keys F10");
  std::string err;
  EXPECT_EQ(ended(&err), 0) << err;
  EXPECT_EQ(files(prt), 0u) << "neither the print file nor its settings";
  EXPECT_FALSE(fs::exists(dir + "/ran"));
}

TEST_F(OpRun, PrintOnScreenWithEnterHandsTheFileToTheScript) {
  ASSERT_TRUE(start("OP SCREEN")) << tmuxrun::slurp(dir + "/err");
  tmux("send-keys Enter");
  std::string err;
  EXPECT_EQ(ended(&err), 0) << err;
  EXPECT_TRUE(fs::exists(prt + "/PRTFI000"));
  EXPECT_EQ(tmuxrun::slurp(dir + "/ran"), "[-config=" + prt + "/PRTFI000.cfg][" + prt + "/PRTFI000]");
}

// From the menu: the item list prints, slowly (a command before each line),
// with the progress window up meanwhile; the menu comes back and the kept
// print file equals its golden; no script runs for KEEP.
TEST_F(OpRun, FromTheMenuAReportPrintsUnderItsProgressWindowAndIsKept) {
  ASSERT_TRUE(start("OP MENU", "Menu")) << tmuxrun::slurp(dir + "/err");
  key("1");
  int before = waits_seen();
  tmux("send-keys Enter");
  // Message 1300 centred, on the row (24 - 3) / 2 - 2, while the report runs.
  bool seen = false;
  for (int i = 0; i < 1500 && !seen && waits_seen() == before; ++i) {
    std::string r = row(8);
    seen = r.find("Processing - please wait") == 28 - 1;
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(seen) << row(8);
  ASSERT_TRUE(waits(before + 1));
  EXPECT_EQ(row(2), "        1   The item list, slowly") << "back on the menu";
  EXPECT_EQ(row(8).find("Processing"), std::string::npos) << "the window went with the report";
  EXPECT_EQ(tmuxrun::slurp(prt + "/PRTFI000"), golden("list.golden"));
  EXPECT_EQ(tmuxrun::slurp(prt + "/PRTFI000.cfg").substr(0, 11), "-mode=KEEP\n");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0) << err;
  EXPECT_EQ(err, "");
  EXPECT_FALSE(fs::exists(dir + "/ran"));
}

// A print directory that cannot hold the file (here a plain file's child:
// the suite may run as root, whom no mode stops): the report's owner ends
// with 300580, which the menu shows; nothing is written, no script runs,
// and the menu goes on.
TEST_F(OpRun, AnUnwritablePrintDirectoryEndsTheReportWith300580) {
  using tmuxrun::q;
  std::ofstream(prt + "/plain") << "a file\n";
  run_in_pane("QUVOPATH=" + q(data) + " QUVO_PRT_FI_DIR=" + q(prt + "/plain/reports") + " QUVO_PRT_SCRIPT=" +
              q(script) + " " + q(QUVO_USER_BINARY) + " -d OPD -a OPA -t Menu -p 'OP MENU'");
  ASSERT_TRUE(waits(1)) << tmuxrun::slurp(dir + "/err");
  key("2");
  key("Enter");
  EXPECT_NE(row(24).find("Print file cannot be created"), std::string::npos) << row(24);
  EXPECT_EQ(row(2), "        1   The item list, slowly");
  EXPECT_EQ(files(prt), 1u) << "no print file and no settings file";
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0) << err;
  EXPECT_FALSE(fs::exists(dir + "/ran"));
}

// ^C while a long report prints: it ends from the next record on (no
// statement runs between records), the engine says it was interrupted, and
// what was printed stays with the "Cancelled" error below it. So do ^C and
// SIGTERM end an Input process that shows the records one after another
// without waiting for a key.
TEST_F(OpRun, AnInterruptEndsALongReportOrRecordShowBetweenRecords) {
  using tmuxrun::q;
  std::string env = "env -i PATH=/usr/bin:/bin" + tmuxrun::sanitizer_env() + " QUVOPATH=" + q(data) + " ";
  int rc = 0;
  tmuxrun::sh(env + q(QUVO_BINARY) + " -d OPD -a OPA -t Subroutine -p 'OP SETUP BIG' >/dev/null 2>&1", &rc);
  ASSERT_EQ(rc, 127) << "OP SETUP BIG";
  run_in_pane("QUVOPATH=" + q(data) + " QUVO_PRT_FI_DIR=" + q(prt) + " " + q(QUVO_USER_BINARY) +
              " -d OPD -a OPA -t Output -p 'OP LIST'");
  std::string file = prt + "/PRTFI000";
  for (int i = 0; i < 3000; ++i) {   // up to 30 s on a loaded machine
    std::error_code ec;
    if (fs::file_size(file, ec) > 0 && !ec) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // ^C as the terminal sends it, to the engine alone: the pane's shell
  // would end with it and take the exit status along.
  auto engine = [&] {
    std::string shell = tmux("display -p '#{pane_pid}'");
    std::string kids = tmuxrun::slurp("/proc/" + std::to_string(std::atoi(shell.c_str())) + "/task/" +
                                      std::to_string(std::atoi(shell.c_str())) + "/children");
    return pid_t(std::atoi(kids.c_str()));
  };
  ASSERT_GT(engine(), 0);
  ASSERT_EQ(::kill(engine(), SIGINT), 0);
  std::string err;
  EXPECT_EQ(ended(&err), 20) << [&] {
    std::string all;
    for (const std::string& row : screen()) all += row + "\n";
    return all;
  }();
  EXPECT_NE(err.find("interrupted"), std::string::npos) << err;
  std::string text = tmuxrun::slurp(file);
  size_t lines = size_t(std::count(text.begin(), text.end(), '\n'));
  EXPECT_GT(lines, 1u);
  EXPECT_LT(lines, 998001u) << "the report ran to its end";
  EXPECT_EQ(text.substr(text.rfind('\n') + 1), "ERROR - Cancelled");
  fs::remove(file);
  // The Input process showing the items: signalled once it has caught the
  // stop signals and run a while among its records.
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    tmux("kill-server");
    run_in_pane("QUVOPATH=" + q(data) + " " + q(QUVO_USER_BINARY) + " -d OPD -a OPA -t Input -p 'OP ITEMS SHOWN'");
    pid_t pid = 0;
    for (int i = 0; i < 3000 && !pid; ++i) {
      pid_t p = engine();
      if (p > 0 && catches_signal(p, SIGINT)) pid = p;
      else std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(pid, 0) << tmuxrun::slurp(dir + "/err");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(::kill(pid, sig), 0);
    EXPECT_EQ(ended(&err), 20) << err;
    EXPECT_NE(err.find(sig == SIGINT ? "interrupted" : "ended by SIGTERM"), std::string::npos) << err;
  }
  tmuxrun::sh(env + q(QUVO_BINARY) + " -d OPD -a OPA -t Subroutine -p 'OP SETUP' >/dev/null 2>&1", &rc);
  EXPECT_EQ(rc, 127) << "OP SETUP";
}

}  // namespace

namespace {

// "STANDARD MOD LOG" as a person meets it: the Input process with a
// modification log of the test application ip-app (IP MLOG, run from its
// menu) adds, changes and deletes a customer; END prints the log through
// the print script.
class ModLogRun : public tmuxrun::PaneTest {
 protected:
  static inline std::string root, data;

  static void SetUpTestSuite() {
    using tmuxrun::q;
    ASSERT_EQ(tmuxrun::make_engine_dir("quvo-modlog", &root, &data), 0);
    int rc = 0;
    tmuxrun::sh(q(QUVOGEN_BINARY) + " " + q(QUVO_DATA_APPS) + " " + q(QUVO_TEST_DIR "/executors/ip-app") + " " +
                    q(root + "/boot") + " >/dev/null 2>&1",
                &rc);
    ASSERT_EQ(rc, 0) << "quvogen";
    std::string env = "env -i PATH=/usr/bin:/bin" + tmuxrun::sanitizer_env() + " QUVOPATH=" + q(data);
    tmuxrun::sh(env + " QUVO_BOOT_SRC=" + q(root + "/boot") + " QUVO_BOOT_AP=IPA " + q(QUVO_BINARY) +
                    " -b >/dev/null 2>&1",
                &rc);
    ASSERT_EQ(rc, 0) << "adding IPA";
    tmuxrun::sh(env + " " + q(QUVO_BINARY) + " -d IPD -a IPA -t Subroutine -p 'IP SETUP' >/dev/null 2>&1", &rc);
    ASSERT_EQ(rc, 127) << "IP SETUP";
  }
  static void TearDownTestSuite() { tmuxrun::sh("rm -rf " + tmuxrun::q(root)); }
  void SetUp() override { open_pane(root, "quvo-modlog"); }
  void keys(std::initializer_list<const char*> ks) {
    for (const char* k : ks) key(k);
  }
  std::string row(int n) { return screen()[size_t(n - 1)]; }
};

TEST_F(ModLogRun, EndOfALoggedInputPrintsItsAddsChangesAndDeletes) {
  using tmuxrun::q;
  std::string prt = dir + "/prt", script = dir + "/record.sh";
  fs::create_directories(prt);
  std::ofstream(script) << "#!/bin/sh\nprintf '[%s]' \"$@\" >> " << dir << "/ran\n";
  fs::permissions(script, fs::perms::owner_all);
  run_in_pane("QUVOPATH=" + q(data) + " QUVO_PRT_FI_DIR=" + q(prt) + " QUVO_PRT_SCRIPT=" + q(script) +
              " QUVO_FAKE_TIME=20260304100000 " + q(QUVO_USER_BINARY) + " -d IPD -a IPA -t Menu -p 'IP MLOG MENU'");
  ASSERT_TRUE(waits(1)) << tmuxrun::slurp(dir + "/err");
  keys({"1", "Enter"});
  ASSERT_EQ(row(1), "  Logged customers");
  // Add A1; the SUBPROCESS each add runs is left at once.
  keys({"A", "1", "Tab", "A", "D", "A", "Tab", "C-u", "1", "2", ".", "5", "0", "Enter"});
  EXPECT_EQ(row(1), "  More customers");
  key("F3");
  // Its amount changed, then the customer deleted.
  keys({"F8", "A", "1", "Enter", "Tab", "Tab", "C-u", "7", "Enter"});
  keys({"F6", "A", "1", "Enter", "S-F4"});
  key("F3");
  EXPECT_EQ(row(2), "        1   Logged customers") << "back on the menu";
  EXPECT_EQ(tmuxrun::slurp(prt + "/MODLOG00"), golden("modlog.golden"));
  EXPECT_EQ(tmuxrun::slurp(dir + "/ran"), "[-config=" + prt + "/MODLOG00.cfg][" + prt + "/MODLOG00]");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0) << err;
  EXPECT_EQ(err, "");
}

}  // namespace
