// Compiled screens on a real terminal, as a person uses them: the engine
// runs the menu of the test application SHW (tests/executors/fp-app/SHW) on
// the frame processor in a private tmux server, 80 x 24, TERM=xterm. A number typed and ENTER is the option that the menu's
// After Image statements act on; each step waits for the engine's next wait
// for a key (QUVO_WM_LOG) and reads the screen back with capture-pane -e.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "process/pl_fixture.h"
#include "support/tmux.h"

namespace {

using tmuxrun::q;
using tmuxrun::sh;
using tmuxrun::slurp;

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

const char* const kEsc = "\x1b[";

// One data directory with SHW added, shared by the tests (the bootstrap
// takes its time); each test runs the engine in a tmux server of its own.
class ShowRun : public tmuxrun::PaneTest {
 protected:
  static inline std::string root, data;

  static void SetUpTestSuite() {
    ASSERT_EQ(tmuxrun::make_engine_dir("quvo-showrun", &root, &data), 0);
    int rc = 0;
    sh(q(QUVOGEN_BINARY) + " " + q(QUVO_DATA_APPS) + " " + q(QUVO_TEST_DIR "/executors/fp-app") + " " +
           q(root + "/boot") + " >/dev/null 2>&1",
       &rc);
    ASSERT_EQ(rc, 0) << "quvogen";
    sh("env -i PATH=/usr/bin:/bin" + tmuxrun::sanitizer_env() + " QUVOPATH=" + q(data) + " QUVO_BOOT_SRC=" +
           q(root + "/boot") + " QUVO_BOOT_AP=SHW " + q(QUVO_BINARY) + " -b >/dev/null 2>&1",
       &rc);
    ASSERT_EQ(rc, 0) << "adding SHW";
    sh("env -i PATH=/usr/bin:/bin" + tmuxrun::sanitizer_env() + " QUVOPATH=" + q(data) + " QUVO_BOOT_SRC=" +
           q(root + "/boot") + " QUVO_BOOT_AP=FPA " + q(QUVO_BINARY) + " -b >/dev/null 2>&1",
       &rc);
    ASSERT_EQ(rc, 0) << "adding FPA";
    // FPA's record file and its part file with part 12.
    sh("env -i PATH=/usr/bin:/bin" + tmuxrun::sanitizer_env() + " TERM=dumb QUVOPATH=" + q(data) + " " +
           q(QUVO_BINARY) + " -d FPD -a FPA -t Subroutine -p 'FPA SETUP' >/dev/null 2>&1",
       &rc);
    ASSERT_EQ(rc, 127) << "FPA SETUP";
    // The test users: FPU, whose start-up process is the test menu of FPA,
    pltest::Engine e;
    e.dir = data;
    e.start(false);
    auto u = fx::user("FPU");
    auto& du = rec::view<DUser>(u.data());
    du.db.set("FPD");
    du.app.set("FPA");
    du.proc_type = 1;
    du.proc.set("FP MENU");
    // SHU starts what the engine starts by default.
    ASSERT_EQ(fx::write("USER", nullptr, nullptr, {u, fx::user("SHU")}), 2);
    e.stop(false);
  }
  static void TearDownTestSuite() { sh("rm -rf " + q(root)); }

  void SetUp() override { open_pane(root, "quvo-show"); }

  // Starts the menu and waits for its first wait for a key; the terminal's
  // output is kept in raw (pipe-pane).
  void start() {
    run_in_pane("QUVOPATH=" + q(data) + " QUVO_TEST_USER=SHU " + q(QUVO_BINARY) + " -d SHD -a SHW -t Menu -p 'SHOW MENU'");
    tmux("pipe-pane -o " + q("cat >> " + q(dir + "/raw")));
    ASSERT_TRUE(waits(1)) << slurp(dir + "/err");
  }
  // Starts the engine as the user with the arguments given (FPU without
  // any: its start-up process, the test menu of FPA).
  void start_as(const char* user, const std::string& args = "") {
    run_in_pane("QUVOPATH=" + q(data) + " QUVO_TEST_USER=" + user + " QUVO_FAKE_TIME=20260131100000 " +
                q(QUVO_BINARY) + " " + args);
    ASSERT_TRUE(waits(1)) << slurp(dir + "/err");
  }
  // Row r (1-based) of a screen.
  static const std::string& row(const std::vector<std::string>& s, int r) { return s[size_t(r - 1)]; }
};

// What the menu shows first: the fixed text, the values of its twelve items
// under their masks (the amount as 1,234.50, the status record's fields).
const std::vector<std::string> kFirst = {
    "  Screen test",
    "  Name     1,234.50                 Ordinal         0",
    "  Amount   1,234.50                 Occurrence      0",
    "  Code            42                Cursor row           0",
    "  Count           42                Cursor col           0",
    "                                    Option      65535",
    "                                    Errors               0",
    "                                    Warnings             0",
    "                                    Foreground    0",
};

TEST_F(ShowRun, FixedTextItemsAndTheAttributeVerbs) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto s = screen();
  for (size_t r = 0; r < kFirst.size(); ++r) EXPECT_EQ(s[r], kFirst[r]) << "row " << r + 1;
  const std::string kName = " 1,234.50", kCode = "        42";
  // BRIGHT: the name's cells bold; INVERSE adds reverse; NORMAL takes the
  // reverse away again and leaves bold.
  option(1);
  EXPECT_EQ(row(screen(true), 2).substr(0, 23), std::string("  Name    ") + kEsc + "1m" + kName);
  option(2);
  EXPECT_EQ(row(screen(true), 2).substr(0, 25), std::string("  Name    ") + kEsc + "1;7m" + kName);
  option(3);
  EXPECT_EQ(row(screen(true), 2).substr(0, 23), std::string("  Name    ") + kEsc + "1m" + kName);
  // BLINK blinks the code and moves the cursor to it.
  option(4);
  EXPECT_EQ(row(screen(true), 4).substr(0, 24), std::string("  Code    ") + kEsc + "5m" + kCode);
  EXPECT_EQ(cursor(), (std::pair<int, int>{11, 4}));
  // Off the field again, so that digits are options, not typing.
  key("Left");
  // DIM on every item: the name's bold goes; the code keeps the blink a
  // verb gave it (an item's signature starts afresh with its frame).
  option(5);
  auto e = screen(true);
  EXPECT_EQ(row(e, 2).substr(0, 19), "  Name    " + kName);
  EXPECT_EQ(row(e, 4).substr(0, 24), std::string("  Code    ") + kEsc + "5m" + kCode);
  // BRIGHT of the blinking item adds bold.
  option(17);
  EXPECT_EQ(row(screen(true), 4).substr(0, 26), std::string("  Code    ") + kEsc + "1;5m" + kCode);
  // BLANK hides the amount, DISPLAY shows it again.
  option(6);
  std::string hidden = kFirst[2];
  hidden.replace(hidden.find("1,234.50"), 8, 8, ' ');
  EXPECT_EQ(row(screen(), 3), hidden);
  option(7);
  EXPECT_EQ(row(screen(), 3), kFirst[2]);
  // COLOR: the status record's colours 2 and 5, red on blue (the code
  // stays bold and blinking).
  option(8);
  e = screen(true);
  EXPECT_EQ(row(e, 4).substr(0, 36), std::string("  Code    ") + kEsc + "1;5m" + kEsc + "31m" + kEsc + "44m" + kCode);
  EXPECT_NE(row(e, 9).find("Foreground    2"), std::string::npos);
  // OK INPUT makes the count (an input item that Before Image made display
  // only) take input again, bright as input items show; NO INPUT undoes it.
  option(18);
  EXPECT_EQ(row(screen(true), 5).substr(0, 24), std::string("  Count   ") + kEsc + "1m" + kCode);
  option(19);
  EXPECT_EQ(row(screen(true), 5).substr(0, 20), kFirst[4].substr(0, 20));
  // POSITION moves the cursor to the count; AT FIELD answers by it.
  option(9);
  EXPECT_EQ(cursor(), (std::pair<int, int>{11, 5}));
  option(15);
  auto at = screen();
  EXPECT_EQ(row(at, 24), "At the count");
  EXPECT_EQ(row(at, 2).substr(36), "Ordinal         1");
  EXPECT_EQ(row(at, 3).substr(36), "Occurrence      1");
  option(16);
  EXPECT_EQ(cursor(), (std::pair<int, int>{11, 2}));
  key("Left");
  option(15);
  EXPECT_EQ(row(screen(), 24), "Not at the count");
}

TEST_F(ShowRun, MessagesWarningsErrorsRefreshAndCancel) {
  ASSERT_NO_FATAL_FAILURE(start());
  option(10);
  auto s = screen();
  EXPECT_EQ(row(s, 24), "Hello from MESSAGE");
  option(11);
  s = screen();
  EXPECT_EQ(row(s, 24), "WARNING - Watch out");
  EXPECT_EQ(row(s, 8), "                                    Warnings             1");
  option(12);
  s = screen();
  EXPECT_EQ(row(s, 24), "ERROR - Something is wrong");
  EXPECT_EQ(row(s, 7), "                                    Errors               1");
  // REFRESH draws its text at once; the next wait's screen has no message.
  option(14);
  bool drawn = false;
  for (int i = 0; i < 200 && !drawn; ++i) {
    drawn = slurp(dir + "/raw").find("Refreshed with a text") != std::string::npos;
    if (!drawn) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(drawn);
  EXPECT_EQ(row(screen(), 24), "");
  // CANCEL shows its text in the run-time error display; once that is
  // left the process has ended.
  option(13);
  bool shown = false;
  for (const auto& r : screen()) shown = shown || r.find("Cancelled by the test") != std::string::npos;
  EXPECT_TRUE(shown);
  tmux("send-keys F3");
  std::string err;
  ended(&err);
  EXPECT_EQ(err, "");
}

TEST_F(ShowRun, DefineAndUndefineItems) {
  ASSERT_NO_FATAL_FAILURE(start());
  // The count at DEFINE's row 9 and column 2, so screen row 10, column 3:
  // item 13 after the twelve compiled ones.
  option(20);
  auto s = screen();
  EXPECT_EQ(row(s, 10), "          42");
  EXPECT_NE(row(s, 2).find("Ordinal        13"), std::string::npos);
  // The amount one row below, bright and inverse: item 14.
  option(21);
  auto e = screen(true);
  EXPECT_EQ(row(e, 11).substr(0, 17), std::string("  ") + kEsc + "1;7m 1,234.50");
  EXPECT_NE(row(screen(), 2).find("Ordinal        14"), std::string::npos);
  // UNDEFINE of item 13 frees its number and its cells.
  option(22);
  EXPECT_EQ(row(screen(), 10), "");
  option(20);
  s = screen();
  EXPECT_EQ(row(s, 10), "          42");
  EXPECT_NE(row(s, 2).find("Ordinal        13"), std::string::npos);
  // Item 14 goes and comes back elsewhere, underlined instead.
  option(23);
  e = screen(true);
  EXPECT_EQ(row(e, 11), "");
  EXPECT_EQ(row(e, 12).substr(0, 33), std::string(20, ' ') + kEsc + "4m 1,234.50");
  // UNDEFINE of the field (every occurrence), of one occurrence.
  option(25);
  EXPECT_EQ(row(screen(), 10), "");
  option(20);
  EXPECT_EQ(row(screen(), 10), "          42");
  option(26);
  EXPECT_EQ(row(screen(), 10), "");
  // A place whose last column is the image's last one is taken (one column
  // more is refused, DefineRefusals).
  option(37);
  EXPECT_EQ(row(screen(), 12).substr(66), "        42");
}

// A DEFINE or UNDEFINE that cannot be done ends the process with its
// run-time error (a place one column past the image, an overlap with a compiled
// item, UNDEFINE of compiled item 12, an item number of 70,000 out of range); a taken item
// number is a system error, and the DEFINE's truth level false.
TEST_F(ShowRun, DefineRefusals) {
  struct Case {
    int option;
    const char* error;
  } cases[] = {{30, "run-time error 300330"},
               {31, "run-time error 101890"},
               {32, "run-time error 300480"},
               {36, "run-time error 102710"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    ASSERT_NO_FATAL_FAILURE(start());
    tmux("send-keys " + std::to_string(c.option) + " Enter");
    std::string err;
    ended(&err);
    EXPECT_NE(err.find(c.error), std::string::npos) << err;
    TearDown();
    SetUp();
  }
  ASSERT_NO_FATAL_FAILURE(start());
  option(33);
  auto s = screen();
  bool shown = false;
  for (const auto& r : s) shown = shown || r.find("ii_exec() - can't modify DEFINE record") != std::string::npos;
  EXPECT_TRUE(shown);
  int before = waits_seen();
  tmux("send-keys Enter");
  EXPECT_TRUE(waits(before + 1));
  EXPECT_EQ(row(screen(), 24), "Item number taken");
}

// A DEFINE of item 13 run again (one row lower each time) finds its number
// taken: a system error, the truth level false, and no second item.
TEST_F(ShowRun, ATakenNumberNeverAttachesASecondItem) {
  ASSERT_NO_FATAL_FAILURE(start());
  option(34);
  EXPECT_EQ(row(screen(), 2).substr(60), "        42");
  option(34);
  int before = waits_seen();
  tmux("send-keys Enter");
  EXPECT_TRUE(waits(before + 1));
  auto s = screen();
  EXPECT_EQ(row(s, 24), "Item number taken");
  EXPECT_EQ(row(s, 2).substr(60), "        42");
  EXPECT_EQ(row(s, 3), kFirst[2]);
}

// Image, dynamic-item and message statements the compiler refuses, each
// with its message (checked against the data directory's dictionary); those
// outside their event points, the constant forms and a TEMP field of "0LA"
// compile.
TEST_F(ShowRun, StatementsRefusedWithTheirMessages) {
  const std::string file = QUVO_TEST_DIR "/executors/fp-app/refused.stmt";
  int rc = 0;
  std::string err = sh(q(QUVOGEN_BINARY) + " --check " + q(data) + " SHW " + q(file) + " 2>&1 >/dev/null", &rc);
  EXPECT_EQ(rc, 1);
  std::vector<std::string> want = {
      file + ":9:16: WARNING - Application not found in application file",
      file + ":8:7: 101560 Error in POSITION statement: POSITION SHW                            (AT APPEARANCE #    )",
      file + ":9:7: 102260 Application is not available to the compile: AT FIELD XYZ SHW NAME                   (AT APPEARANCE #    )",
      file + ":10:7: 101050 Error in BRIGHT statement: BRIGHT   SHW                            (AT APPEARANCE #    )",
      file + ":11:7: 101220 Error in DEFINE statement: DEFINE   SHW SHW COUNT                  (AT APPEARANCE #    )",
      file + ":12:7: 101820 Error in UNDEFINE statement: UNDEFINE SHW SHW COUNT                  (AT APPEARANCE # 013)",
      file + ":13:7: 101440 Error in MESSAGE statement: MESSAGE  TEMP 9",
  };
  EXPECT_EQ(lines_of(err), want) << err;
}

// An Input process shows with the cursor on its first input item, which
// takes typing; END ends it. The default menu of the engine, "QUVO MENU" of
// "0LA", compiles and shows.
TEST_F(ShowRun, TheDefaultMenuAndAnInputProcessShow) {
  auto run = [&](const std::string& args) {
    run_in_pane("QUVOPATH=" + q(data) + " QUVO_TEST_USER=SHU " + q(QUVO_BINARY) + " " + args);
  };
  run("-d SHD -a SHW -t Input -p 'SHOW INPUT'");
  ASSERT_TRUE(waits(1)) << slurp(dir + "/err");
  auto s = screen();
  EXPECT_EQ(row(s, 1), "  Record input");
  EXPECT_EQ(row(s, 2), "  Key");
  // The cursor starts on the first field (the image gives no start
  // position).
  EXPECT_EQ(cursor(), (std::pair<int, int>{11, 2}));
  for (const char* k : {"A", "B", "1", "2"}) {
    int before = waits_seen();
    tmux(std::string("send-keys ") + k);
    EXPECT_TRUE(waits(before + 1));
  }
  EXPECT_EQ(row(screen(), 2), "  Key     AB12");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0) << err;
  TearDown();
  SetUp();
  run("");
  ASSERT_TRUE(waits(1)) << slurp(dir + "/err");
  s = screen();
  EXPECT_EQ(row(s, 1), "                                  QUVO Menu");
  EXPECT_EQ(row(s, 3), "        1   Show an error message");
  EXPECT_EQ(row(s, 4), "        2   Errors of the last process compile");
  EXPECT_EQ(row(s, 6), "     Choose an option by its number; END leaves.");
}

// A fresh data directory, then `quvo` as a user starts it: the default menu
// "QUVO MENU" as kept in fp-app/quvo_menu.screen (colours and attributes
// too); END leaves it with exit status 0 and nothing on standard error.
TEST_F(ShowRun, AFreshDataDirectoryShowsTheDefaultMenuAndEndLeavesIt) {
  std::string fresh_root, fresh;
  ASSERT_EQ(tmuxrun::make_engine_dir("quvo-fresh", &fresh_root, &fresh), 0);
  run_in_pane("QUVOPATH=" + q(fresh) + " QUVO_FAKE_TIME=20260131100000 " + q(QUVO_USER_BINARY));
  ASSERT_TRUE(waits(1)) << slurp(dir + "/err");
  std::vector<std::string> want = lines_of(slurp(QUVO_TEST_DIR "/executors/fp-app/quvo_menu.screen"));
  want.resize(24);
  EXPECT_EQ(screen(true), want);
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");
  sh("rm -rf " + q(fresh_root));
}

// The user FPU signs on: the test menu starts. "2" ENTER opens the form
// with the cursor on the code (its first field); "1A" there, the name left empty,
// ENTER: both fields take the error attribute, the cursor stays on the
// code (the lowest failing field), the message line says that the code
// does not match its mask "##" and, at MESSAGE, that the name is required.
// The screen is as kept in fp-app/form_errors.screen. END leaves the form
// for the menu, END again the engine.
TEST_F(ShowRun, AUsersMenuOpensAFormWhoseFieldsAreVerified) {
  start_as("FPU");
  EXPECT_EQ(row(screen(), 1), "                              Frame processor tests");
  option(2);
  EXPECT_EQ(row(screen(), 1), "  A form");
  EXPECT_EQ(cursor(), (std::pair<int, int>{11, 2}));
  key("1");
  key("A");
  key("Enter");
  std::vector<std::string> want = lines_of(slurp(QUVO_TEST_DIR "/executors/fp-app/form_errors.screen"));
  want.resize(24);
  auto e = screen(true);
  EXPECT_EQ(e, want);
  EXPECT_NE(row(e, 2).find(std::string(kEsc) + "5m1A"), std::string::npos);
  EXPECT_NE(row(e, 3).find(std::string("Name    ") + kEsc + "5m"), std::string::npos);
  EXPECT_EQ(cursor(), (std::pair<int, int>{11, 2}));
  auto s = screen();
  EXPECT_EQ(row(s, 24).substr(0, 42), "ERROR - Entry does not match the edit mask");
  key("F12");
  EXPECT_EQ(row(screen(), 24).substr(0, 25), "ERROR - Entry is required");
  key("F3");
  EXPECT_EQ(row(screen(), 1), "                              Frame processor tests");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");
}

// The test menu again: in the form, "AB C" in the name (justification rule 1)
// is refused with its message, the name in the error attribute and the
// cursor on it. Option 3's look-up form: an unknown part number gives
// "Part file not found" once, as kept in fp-app/lookup_unknown.screen;
// part 12 fills the description from the part file and clears the message.
TEST_F(ShowRun, EmbeddedBlanksAreRefusedAndALookUpFillsTheDescription) {
  // The test menu as the USER record starts it: no database is named, the
  // user's is taken, and the look-up child (a SUBPROCESS) runs in it too.
  ASSERT_NO_FATAL_FAILURE(start_as("FPU"));
  option(2);
  for (const char* k : {"1", "2", "Tab", "A", "B", "Space", "C", "Enter"}) key(k);
  auto e = screen(true);
  EXPECT_NE(row(e, 3).find(std::string("Name    ") + kEsc + "5mAB C"), std::string::npos) << row(e, 3);
  EXPECT_EQ(row(screen(), 24), "ERROR - Embedded blanks are not allowed");
  EXPECT_EQ(cursor(), (std::pair<int, int>{11, 3}));
  key("F3");
  option(3);
  EXPECT_EQ(row(screen(), 1), "  A look-up");
  EXPECT_EQ(cursor(), (std::pair<int, int>{11, 2}));
  for (const char* k : {"3", "4", "Enter"}) key(k);
  std::vector<std::string> want = lines_of(slurp(QUVO_TEST_DIR "/executors/fp-app/lookup_unknown.screen"));
  want.resize(24);
  EXPECT_EQ(screen(true), want);
  EXPECT_EQ(cursor(), (std::pair<int, int>{11, 2}));
  for (const char* k : {"BSpace", "BSpace", "1", "2", "Enter"}) key(k);
  auto s = screen();
  EXPECT_EQ(row(s, 2), "  Part    12  Blue widget");
  EXPECT_EQ(row(s, 24), "");
  // The description takes no input: NEXT FIELD stays on the part number
  // (the one field that does) and what is typed goes there.
  key("Tab");
  EXPECT_EQ(cursor(), (std::pair<int, int>{11, 2}));
  key("Right");
  key("Right");
  key("Right");
  key("Right");
  key("9");
  EXPECT_EQ(row(screen(), 2), "  Part    12  Blue widget");
  key("F3");
  EXPECT_EQ(row(screen(), 1), "                              Frame processor tests");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");
}

}  // namespace
