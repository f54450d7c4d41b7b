// Child invocation and the runtime's windows as a person meets them: the
// real engine in a private tmux server (80 x 24, TERM=xterm) runs the menu
// of tests/executors/chld-app, each step waiting for the engine's wait for
// a key (QUVO_WM_LOG); the screens are read back with capture-pane.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process/pl_fixture.h"
#include "support/tmux.h"

namespace {

using tmuxrun::q;
using tmuxrun::sh;
using tmuxrun::slurp;

class ChldRun : public tmuxrun::PaneTest {
 protected:
  static inline std::string root, data;

  static void SetUpTestSuite() {
    ASSERT_EQ(tmuxrun::make_engine_dir("quvo-chldrun", &root, &data), 0);
    int rc = 0;
    sh(q(QUVOGEN_BINARY) + " " + q(QUVO_DATA_APPS) + " " + q(QUVO_TEST_DIR "/executors/chld-app") + " " +
           q(root + "/boot") + " >/dev/null 2>&1",
       &rc);
    ASSERT_EQ(rc, 0) << "quvogen";
    sh("env -i PATH=/usr/bin:/bin" + tmuxrun::sanitizer_env() + " QUVOPATH=" + q(data) + " QUVO_BOOT_SRC=" +
           q(root + "/boot") + " QUVO_BOOT_AP=CHA " + q(QUVO_BINARY) + " -b >/dev/null 2>&1",
       &rc);
    ASSERT_EQ(rc, 0) << "adding CHA";
    pltest::Engine e;
    e.dir = data;
    e.start(false);
    auto u = fx::user("CHU");
    rec::view<DUser>(u.data()).db.set("CHD");
    ASSERT_EQ(fx::write("USER", nullptr, nullptr, {u}), 1);
    e.stop(false);
  }
  static void TearDownTestSuite() { sh("rm -rf " + q(root)); }

  void SetUp() override { open_pane(root, "quvo-chld"); }

  // Starts the menu (the test library on the library path for the CALL of
  // CHA CRASH) and waits for its first wait for a key.
  void start() {
    std::string lib = std::filesystem::path(QUVO_TESTCALL).parent_path().string();
    run_in_pane("QUVOPATH=" + q(data) + " QUVO_TEST_USER=CHU LD_LIBRARY_PATH=" + q(lib) + " " + q(QUVO_BINARY) +
                " -d CHD -a CHA -t Menu -p 'CHA MENU'");
    ASSERT_TRUE(waits(1)) << slurp(dir + "/err");
  }
  // The screen's rows above the status and message lines.
  std::vector<std::string> body() {
    auto s = screen();
    s.resize(22);
    return s;
  }
  bool shows(const std::string& text) {
    for (const auto& r : screen())
      if (r.find(text) != std::string::npos) return true;
    return false;
  }
  // END on the menu: the engine's exit status and standard error.
  int leave(std::string* err) {
    tmux("send-keys F3");
    return ended(err);
  }
};

// A design error (a child that does not exist) opens ERROR MESSAGE in its
// own window, and a failed compile EM BUILD ERRORS (in place of the
// compile's notice); after END each time the menu beneath is as it was and
// goes on.
TEST_F(ChldRun, DesignErrorAndCompileFailureOpenTheirWindows) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto menu = body();
  ASSERT_NE(menu[0].find("Child invocation tests"), std::string::npos);
  option(1);
  EXPECT_TRUE(shows("ENTER goes on to the next child."));
  key("Enter");
  EXPECT_TRUE(shows("Press END to go on.")) << tmux("capture-pane -p");
  EXPECT_TRUE(shows("Child does not exist")) << tmux("capture-pane -p");
  key("F3");
  EXPECT_EQ(body(), menu);
  option(2);
  EXPECT_TRUE(shows("Process compile errors")) << tmux("capture-pane -p");
  EXPECT_TRUE(shows("CHA BROKEN")) << tmux("capture-pane -p");
  EXPECT_TRUE(shows("GOTO     NOWHERE")) << "the statement in error\n" << tmux("capture-pane -p");
  EXPECT_FALSE(shows("Compiling process")) << "the compile's notice is gone\n" << tmux("capture-pane -p");
  key("F3");
  EXPECT_EQ(body(), menu);
  std::string err;
  EXPECT_EQ(leave(&err), 0);
  EXPECT_EQ(err, "");
}

// A child ended by a run-time error: the menu's message names the error,
// its number and text, and the menu goes on.
TEST_F(ChldRun, ARunTimeErrorOfAChildIsNamedOnTheMenu) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto menu = body();
  option(11);
  EXPECT_EQ(screen()[23], "ERROR - Run-time error 300410: RETURN without GOSUB") << tmux("capture-pane -p");
  EXPECT_EQ(body(), menu);
  std::string err;
  EXPECT_EQ(leave(&err), 0);
  EXPECT_EQ(err, "");
}

// A child that dies of a memory fault twice: message 200860 each time, and
// the menu goes on.
TEST_F(ChldRun, AMemoryFaultTwiceAndTheMenuGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto menu = body();
  for (int i = 0; i < 2; ++i) {
    option(3);
    EXPECT_NE(screen()[23].find("Process ended abnormally"), std::string::npos) << tmux("capture-pane -p");
    EXPECT_EQ(body(), menu);
  }
  std::string err;
  EXPECT_EQ(leave(&err), 0);
}

// HELP ON OPT lists the menu's options, eight a page; HELP on the form's
// amount shows its name and mask; END puts back the screen beneath each
// time.
TEST_F(ChldRun, HelpOnTheOptionsAndOnAField) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto menu = body();
  key("F2");
  for (const char* n : {"CHA BADKID", "CHA BROKEN", "CHA CRASH", "CHA FORM", "CHA FORM2"})
    EXPECT_TRUE(shows(n)) << n << "\n" << tmux("capture-pane -p");
  key("F3");
  EXPECT_EQ(body(), menu);
  // Ten options: eight on the first page, ENTER the last two, ENTER again
  // leaves for the menu.
  auto numbers = [&] {
    std::vector<int> out;
    for (const auto& r : screen()) {
      std::istringstream in(r);
      int n = 0;
      std::string app;
      if (in >> n >> app && app == "CHA") out.push_back(n);
    }
    return out;
  };
  key("F2");
  EXPECT_EQ(numbers(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8})) << tmux("capture-pane -p");
  key("Enter");
  EXPECT_EQ(numbers(), (std::vector<int>{9, 10, 11})) << tmux("capture-pane -p");
  key("Enter");
  EXPECT_EQ(body(), menu);
  option(4);
  auto form = body();
  ASSERT_NE(form[0].find("A form with an amount"), std::string::npos) << tmux("capture-pane -p");
  key("F1");  // the cursor starts on the amount
  EXPECT_TRUE(shows("CHA AMOUNT")) << tmux("capture-pane -p");
  EXPECT_TRUE(shows("ZZ,ZZ9.99-")) << tmux("capture-pane -p");
  key("F3");
  EXPECT_EQ(body(), form);
  key("F3");
  EXPECT_EQ(body(), menu);
  std::string err;
  EXPECT_EQ(leave(&err), 0);
}

// SET ENTRY ATTRIBUTES on the form's amount offers the form's settings
// (its definition gives no exact-key default: blank; the amount's
// carry-forward flag is set: a number without a default); an answer
// typed and ENTER comes back into them (offered so the next time), and the
// form is as it was after each.
TEST_F(ChldRun, EntryAttributesComeBackIntoTheForm) {
  ASSERT_NO_FATAL_FAILURE(start());
  option(4);  // the cursor on the amount, the form's first field
  auto form = body();
  key("S-F1");
  auto offered = body();
  ASSERT_NE(offered[0].find("Entry attributes"), std::string::npos) << tmux("capture-pane -p");
  EXPECT_EQ(offered[2], "  Read the next record after each one:   0");
  EXPECT_EQ(offered[3], "  An exact key is required:");
  EXPECT_EQ(offered[4], "  Carry the current field forward:       1");
  key("1");  // the first answer, where the cursor starts
  key("Enter");
  EXPECT_EQ(body(), form) << tmux("capture-pane -p");
  key("S-F1");
  EXPECT_EQ(body()[2], "  Read the next record after each one:   1") << tmux("capture-pane -p");
  key("F3");
  EXPECT_EQ(body(), form);
}

// CANCEL ends a form whose CANCEL OK is '1' (its invocation lets the menu
// go on after a failed child) and does nothing on one whose start set it
// to '0', nor does BACK on its first frame: that form stays until END.
TEST_F(ChldRun, CancelEndsAFormOnlyWithCancelOk) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto menu = body();
  option(4);
  ASSERT_NE(body()[0].find("A form with an amount"), std::string::npos) << tmux("capture-pane -p");
  key("C-c");
  EXPECT_EQ(body(), menu) << tmux("capture-pane -p");
  option(5);
  auto form = body();
  ASSERT_NE(form[0].find("A form without CANCEL"), std::string::npos) << tmux("capture-pane -p");
  for (const char* k : {"C-c", "Escape", "F11"}) {
    key(k);
    EXPECT_EQ(body(), form) << k << "\n" << tmux("capture-pane -p");
    EXPECT_EQ(screen()[23].find("Option is not available"), std::string::npos) << k << "\n" << tmux("capture-pane -p");
  }
  key("F3");
  EXPECT_EQ(body(), menu);
  std::string err;
  EXPECT_EQ(leave(&err), 0);
  EXPECT_EQ(err, "");
}

}  // namespace
