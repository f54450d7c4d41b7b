// Compiled statements end to end: the real engine in tmux runs Subroutines
// of statement text that compute with loops, CALC, COMPUTE and IF, and end with
// LOGOUT (127) only when every value is the expected one, else END PROC (0);
// the instruction trace shows the loop; an overflow ends the process with
// 300540 unless OVERFLOW traps it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "design/se.h"
#include "design/sefile.h"
#include "abc_run.h"
#include "pl_fixture.h"
#include "support/stmt_text.h"
#include "support/tmux.h"

using namespace pltest;
using namespace tmuxrun;

namespace {

using namespace stmttext;
constexpr int NE = 6;

class ScRun : public AbcRun {
 protected:
  ScRun() : AbcRun("sc") {}

  // Stores the statement text and a PROCESS record of each Subroutine.
  void define(const std::string& text, std::initializer_list<const char*> names) {
    Engine e;
    e.dir = data;
    e.start(false);
    SeFileResult r;
    ASSERT_EQ(se_read_file("run.stmt", text, nullptr, &r), 0) << (r.errors.empty() ? "" : r.errors[0]);
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
    std::vector<fx::Rec> procs;
    // (Each its own stamp: saved modules are named by it.)
    int i = 0;
    for (const char* n : names) {
      std::string stamp = "2026-01-01T00:00:0" + std::to_string(++i);
      procs.push_back(proc_rec(n, 6, "1", 50, stamp, stamp));
    }
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", procs), int(procs.size()));
    e.stop(false);
  }

  Result run(const char* proc) {
    return run_abc("QUVO_TEST_USER=ABU", std::string("-d DB1 -a ABC -t Subroutine -p ") + proc);
  }
};

int count(const std::string& s, const std::string& what) {
  int n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

// Each check: IF the field differs from the value, T GOTO BAD.
std::string unless(const char* f, const char* value) {
  return test("", "IF", f, NE, value) + line("T", "GOTO", {{0, "BAD"}});
}
const std::string kEnd =
    line("", "LOGOUT", {{8, "N"}}) + line("", "LABEL", {{0, "BAD"}}) + line("", "END PROC");

TEST_F(ScRun, SubroutinesComputeWithLoopsCalcAndIf) {
  std::string good = "process 6 GOOD\nstatements 1\n" + calc("", "A", "0") + loop("I", "1", "7") +
                     calc("", "A", "A + I * 3") + test("", "IF", "A", 3, "50") + calc("T", "A", "A - 50") +
                     line("", "END LOOP", {{0, "I"}}) + calc("", "AI", "7") + calc("", "B", "AI * 2 + 0.5") +
                     calc("", "C", "(B - 4.5) / 4") + calc("", "BI", "AI * 3 - 1") + unless("A", "34") +
                     line("", "COMPUTE", {{0, "---"}, {4, "A"}, {31, "*"}, {34, "---"}, {38, "AI"}}) +
                     unless("A", "238") +
                     unless("B", "14.5") + unless("C", "2.5") + unless("BI", "20") + kEnd;
  // The same with one expected value wrong.
  std::string wrong = "process 6 WRONG\nstatements 1\n" + calc("", "A", "2 * 3 + 1") + unless("A", "8") + kEnd;
  define(good + wrong, {"GOOD", "WRONG"});
  Result r = run("GOOD");
  EXPECT_EQ(r.status, 127) << r.err;
  // The loop ran 7 times: its end once each time.
  EXPECT_EQ(count(r.trace, "END_LOOP_PD"), 7) << r.trace;
  r = run("WRONG");
  EXPECT_EQ(r.status, 0) << r.err << r.trace;
}

// Without the trace, long loops run as the engine runs them at full speed
// (a loop's body of calculations and tests as one native program): the
// values are the instructions' values, and an overflow in the loop's ten-
// thousandth iteration still reaches the OVERFLOW label with the field as
// it was.
TEST_F(ScRun, LongLoopsGiveTheInstructionsValues) {
  long long a = 0;
  for (long long i = 1; i <= 100000; ++i) {
    a += i * 3;
    if (a > 1000000) a -= 1000000;
  }
  std::string sum = "process 6 LONG\nstatements 1\n" + calc("", "A", "0") + calc("", "J", "100000") +
                    loop("I", "1", "J") +
                    calc("", "A", "A + I * 3") + test("", "IF", "A", 3, "1000000") + calc("T", "A", "A - 1000000") +
                    calc("", "B", "A") + line("", "END LOOP", {{0, "I"}}) + unless("B", std::to_string(a).c_str()) +
                    unless("I", "100000") + kEnd;
  // A value past 15 digits keeps its 15 highest (10^29 at scale -15), and
  // the stack's 31 digits hold 10^29 times 10 but no product of 10^29 (30
  // digits) and 10 (2): the thirtieth multiplication fails.
  std::string grow = "process 6 GROW\nstatements 1\n" + line("", "OVERFLOW", {{0, "OVF"}}) + calc("", "A", "1") +
                     calc("", "C", "0") + calc("", "J", "10000") + loop("I", "1", "J") + calc("", "C", "C + 1") +
                     test("", "IF", "C", 3, "9970") + calc("T", "A", "A * 10") + line("", "END LOOP", {{0, "I"}}) +
                     line("", "END PROC") + line("", "LABEL", {{0, "OVF"}}) +
                     calc("", "D", "100000000000000 * 100000000000000 * 10") + test("", "IF", "A", NE, "D", true) +
                     line("T", "GOTO", {{0, "BAD"}}) + unless("I", "10000") + kEnd;
  define(sum + grow, {"LONG", "GROW"});
  for (const char* proc : {"LONG", "GROW"}) {
    std::string args = std::string("-d DB1 -a ABC -t Subroutine -p ") + proc;
    Result r = run_abc("QUVO_TEST_USER=ABU QUVO_INST_TRACE=", args);
    EXPECT_EQ(r.status, 127) << proc << ": " << r.err;
  }
}

TEST_F(ScRun, AnOverflowEndsTheProcessUnlessTrapped) {
  std::string bare = "process 6 BARE\nstatements 1\n" + calc("", "B", "0") + calc("", "A", "1 / B") + kEnd;
  std::string trap = "process 6 TRAP\nstatements 1\n" + line("", "OVERFLOW", {{0, "OVF"}}) + calc("", "B", "0") +
                     calc("", "A", "5") + calc("", "A", "1 / B") + line("", "END PROC") +
                     line("", "LABEL", {{0, "OVF"}}) + unless("A", "5") + kEnd;
  define(bare + trap, {"BARE", "TRAP"});
  Result r = run("BARE");
  EXPECT_NE(r.status, 127);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("300540"), std::string::npos) << r.err;
  r = run("TRAP");
  EXPECT_EQ(r.status, 127) << r.err << r.trace;
}


// RETURN without GOSUB: the event point ends as every uncaught run-time
// error does, and standard error names the completion code 300540 (the
// message 300410 goes only to the debugger's error state).
TEST_F(ScRun, ReturnWithoutGosubEndsWithTheRunTimeCompletion) {
  define("process 6 NORET\nstatements 1\n" + line("", "RETURN") + kEnd, {"NORET"});
  Result r = run("NORET");
  EXPECT_NE(r.status, 127);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("300540"), std::string::npos) << r.err;
}
}  // namespace

namespace {

// A process named on the command line that does not compile: its errors on
// standard error after the screen has gone, each with where it is, the
// message and the statement; the engine ends with the start-up error 4.
TEST_F(ScRun, CompileErrorsOfTheStartUpProcessGoToStandardError) {
  define("process 6 BAD\nstatements 1\n" + calc("", "A", "1") + line("", "GOTO", {{0, "NOWHERE"}}) +
             line("", "SET", {{0, "ABC"}, {4, "X"}}) + kEnd,
         {"BAD"});
  Result r = run("BAD");
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err,
            "QUVO startup failed because of the following\n"
            "the start-up process did not start: ABC 00 Subrout \"BAD\": Process does not compile\n"
            "event point 1, sequence 200: 100940 Label is not defined\n"
            "      GOTO     NOWHERE\n"
            "event point 1, sequence 300: 101690 Error in SET statement\n"
            "      SET      ABC X                          =\n"
            "startup error: 4\n\n");
  // The default start-up menu: its frame, image and option are refused by
  // the steps not built yet, each said once.
  r = run_abc("QUVO_TEST_USER=ABU", "");
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err,
            "QUVO startup failed because of the following\n"
            "the start-up process did not start: 0LA 00 Menu \"QUVO MENU\": Process does not compile\n"
            "frame 0 1: 200140 Process does not compile (frames are not compiled yet)\n"
            "frame 0 1, image 1: 200140 Process does not compile (images are not compiled yet)\n"
            "frame 0 1, image 1, child 1 1: 200140 Process does not compile (child invocations are not compiled "
            "yet)\n"
            "startup error: 4\n\n");
}

}  // namespace
