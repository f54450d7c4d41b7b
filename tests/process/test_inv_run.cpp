// Invocations, RUN, CALL and PASS end to end: the real engine in tmux runs
// Subroutines of statement text that invoke other Subroutines through the
// process runner, run shell scripts and call the project's test library by
// name (LD_LIBRARY_PATH); each ends with LOGOUT (127) only when every check
// held, else END PROC (0).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "abc_run.h"
#include "design/sefile.h"
#include "pl_fixture.h"
#include "support/stmt_text.h"
#include "support/tmux.h"

using namespace pltest;
using namespace tmuxrun;
using namespace stmttext;

namespace {

constexpr int EQ = 1;

std::string file_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class InvRun : public AbcRun {
 protected:
  InvRun() : AbcRun("inv") {}
  std::string cwd;

  void SetUp() override {
    AbcRun::SetUp();
    // RUN's commands start where the engine was started: the test root.
    cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(root);
  }
  void TearDown() override {
    std::filesystem::current_path(cwd);
    AbcRun::TearDown();
  }

  void define(const std::string& text, std::initializer_list<const char*> names) {
    Engine e;
    e.dir = data;
    e.start(false);
    SeFileResult r;
    ASSERT_EQ(se_read_file("inv.stmt", text, nullptr, &r), 0) << (r.errors.empty() ? "" : r.errors[0]);
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
    std::vector<fx::Rec> procs;
    int i = 0;
    for (const char* n : names) {
      ++i;
      std::string stamp = "2026-01-01T00:00:" + std::string(i < 10 ? "0" : "") + std::to_string(i);
      procs.push_back(proc_rec(n, 6, "1", 50, stamp, stamp));
    }
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", procs), int(procs.size()));
    e.stop(false);
  }
  Result run(const char* proc) {
    std::string libdir = std::filesystem::path(QUVO_TESTCALL).parent_path().string();
    return run_abc("QUVO_TEST_USER=ABU LD_LIBRARY_PATH=" + q(libdir),
                   std::string("-d DB1 -a ABC -t Subroutine -p ") + proc);
  }
  static std::string proc(const char* name, const std::string& body) {
    return std::string("process 6 ") + name + "\nstatements 1\n" + body;
  }
  // An invocation statement of a Subroutine.
  static std::string subr(const char* tf, const char* app, const char* name, const char* kind, const char* end = "N",
                          const char* fail = "0") {
    return line(tf, "SUBR", {{0, app}, {4, name}, {37, kind}, {55, end}, {63, fail}});
  }
  static std::string pass(const char* app, const char* item, const char* by_ref = "N") {
    return line("", "PASS", {{0, app}, {4, item}, {31, "FIELD"}, {55, by_ref}});
  }
  static std::string run_stmt(const char* cmd) { return line("", "RUN", {{4, cmd}, {49, "N"}, {57, "0"}}); }
  static std::string call(const char* fn) { return line("", "CALL", {{4, fn}, {41, "N"}, {49, "N"}, {57, "0"}}); }
  static std::string script(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
    return path;
  }
};

const std::string kEnd = line("", "LOGOUT", {{8, "N"}}) + line("", "LABEL", {{0, "BAD"}}) + line("", "END PROC");
const std::string kBadIfFalse = line("F", "GOTO", {{0, "BAD"}});
const std::string kBadIfTrue = line("T", "GOTO", {{0, "BAD"}});

// SUBPROCESS, RELATED and DETACHED children run through the runner and
// leave the statement true; blank application and name run what NEXT
// APPLICATION and NEXT PROCESS NAME name (set here by a library function
// through references to them).
TEST_F(InvRun, ChildrenOfEachKindAndTheNextFields) {
  std::string kid = proc("KID", run_stmt("echo kid >> kids") + line("", "END PROC"));
  std::string parent = proc("PARENT", subr("", "ABC", "KID", "SUBPROCESS") + kBadIfFalse +
                                          subr("", "ABC", "KID", "RELATED") + kBadIfFalse +
                                          subr("", "ABC", "KID", "DETACHED") + kBadIfFalse +
                                          pass("---", "NEXT APPLICATION", "Y") + pass("---", "NEXT PROCESS NAME", "Y") +
                                          call("libqvcall.so,qc_next") + kBadIfFalse +
                                          subr("", "", "", "SUBPROCESS") + kBadIfFalse + kEnd);
  define(kid + parent, {"KID", "PARENT"});
  Result r = run("PARENT");
  EXPECT_EQ(r.status, 127) << r.err;
  EXPECT_EQ(file_text(root + "/kids"), "kid\nkid\nkid\nkid\n");
}

// The replace flag ends the caller's code: the child runs in its place.
TEST_F(InvRun, TheReplacingChildEndsTheCaller) {
  std::string kid = proc("KID", run_stmt("echo kid >> kids") + line("", "END PROC"));
  std::string parent = proc("PARENT", subr("", "ABC", "KID", "SUBPROCESS", "Y") + run_stmt("touch after") + kEnd);
  define(kid + parent, {"KID", "PARENT"});
  Result r = run("PARENT");
  EXPECT_NE(r.status, 127) << r.err;
  EXPECT_EQ(file_text(root + "/kids"), "kid\n");
  EXPECT_FALSE(std::filesystem::exists(root + "/after"));
}

// A child killed by a memory fault (its CALL writes through null) makes
// the statement false with a warning "SUBROUTINE FAILED"; the engine goes
// on and catches a second one.
TEST_F(InvRun, AChildKilledByAMemoryFaultMakesTheStatementFalse) {
  std::string crash = proc("CRASH", call("libqvcall.so,qc_crash") + line("", "END PROC"));
  std::string parent = proc("PARENT", subr("", "ABC", "CRASH", "SUBPROCESS", "N", "1") + kBadIfTrue +
                                          subr("", "ABC", "CRASH", "DETACHED", "N", "1") + kBadIfTrue +
                                          test("", "IF", "WARNINGS", EQ, "2") + kBadIfFalse + kEnd);
  define(crash + parent, {"CRASH", "PARENT"});
  Result r = run("PARENT");
  EXPECT_EQ(r.status, 127) << r.err;
}

// Failure modes 2 and 3 of a child that dies: 2 makes the statement false
// and counts an error; 3 cancels the caller, whose next statement never
// runs.
TEST_F(InvRun, ChildFailureModesTwoAndThree) {
  std::string crash = proc("CRASH", call("libqvcall.so,qc_crash") + line("", "END PROC"));
  std::string two = proc("TWO", subr("", "ABC", "CRASH", "SUBPROCESS", "N", "2") + kBadIfTrue +
                                     test("", "IF", "ERRORS", EQ, "1") + kBadIfFalse + kEnd);
  std::string three = proc("THREE", subr("", "ABC", "CRASH", "SUBPROCESS", "N", "3") + run_stmt("touch after") + kEnd);
  define(crash + two + three, {"CRASH", "TWO", "THREE"});
  Result r = run("TWO");
  EXPECT_EQ(r.status, 127) << r.err;
  r = run("THREE");
  EXPECT_NE(r.status, 127) << r.err;
  EXPECT_FALSE(std::filesystem::exists(root + "/after"));
}

// The application's Subroutine passes calculation variables and
// constants, runs "./w.sh $*" (which writes its arguments to a file) and
// ends by what the library function answers: LOGOUT for 127, END PROC for
// 0; RUN's exit statuses come back in CALL RESULT.
TEST_F(InvRun, PassRunAndCallEndToEnd) {
  script(root + "/w.sh", "printf '%s\\n' \"$@\" > w.out\nexit 3\n");
  auto body = [](const char* ai) {
    return calc("", "A", "12.5") + calc("", "AI", ai) + pass("---", "A") + pass("---", "AI") + pass("", "a;b $(x)") +
           run_stmt("./w.sh $*") + kBadIfFalse + test("", "IF", "CALL RESULT", EQ, "3") + kBadIfFalse +
           run_stmt("kill -9 \\$\\$") + test("", "IF", "CALL RESULT", EQ, "137") + kBadIfFalse +
           pass("---", "AI") + call("libqvcall.so,qc_ret") + line("F", "END PROC") + line("", "LOGOUT", {{8, "N"}}) +
           line("", "LABEL", {{0, "BAD"}}) + run_stmt("touch bad") + line("", "END PROC");
  };
  define(proc("OUT", body("127")) + proc("ZERO", body("0")), {"OUT", "ZERO"});
  Result r = run("OUT");
  EXPECT_EQ(r.status, 127) << r.err;
  EXPECT_EQ(file_text(root + "/w.out"), "12.5\n127\na;b $(x)\n");
  r = run("ZERO");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(file_text(root + "/w.out"), "12.5\n0\na;b $(x)\n");
  EXPECT_FALSE(std::filesystem::exists(root + "/bad"));
}

// Under tmux: what the command writes shows on the terminal while it runs.
TEST_F(InvRun, RunOutputShowsOnTheTerminal) {
  define(proc("SHOW", run_stmt("echo RUN-SHOWS;sleep 3") + kEnd), {"SHOW"});
  std::string name = "quvo-invshow-" + std::to_string(getpid());
  std::string cmd = "env -i PATH=/usr/bin:/bin HOME=" + q(root) + " TERM=xterm QUVOPATH=" + q(data) +
                    " QUVO_TEST_USER=ABU" + sanitizer_env() + " " + q(QUVO_BINARY) +
                    " -d DB1 -a ABC -t Subroutine -p SHOW; sleep 30";
  std::string tmux = "env -u TMUX TMUX_TMPDIR=" + q(root) + " SHELL=/bin/sh tmux -L " + name + " -f /dev/null ";
  sh(tmux + "new-session -d -x 80 -y 24 " + q(cmd) + " 2>&1");
  bool shown = false;
  for (int i = 0; i < 500 && !shown; ++i) {
    shown = sh(tmux + "capture-pane -p 2>&1").find("RUN-SHOWS") != std::string::npos;
    if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  sh(tmux + "kill-server 2>&1");
  EXPECT_TRUE(shown);
}

}  // namespace
