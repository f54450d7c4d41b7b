// Compiled statements end to end: the real engine in tmux runs Subroutines
// of statement text that compute with loops, CALC, COMPUTE and IF, and end with
// LOGOUT (127) only when every value is the expected one, else END PROC (0);
// the instruction trace shows the loop; an overflow ends the process with
// 300540 unless OVERFLOW traps it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "design/se.h"
#include "design/sefile.h"
#include "abc_run.h"
#include "foundation/os.h"
#include "pl_fixture.h"
#include "support/child_test.h"
#include "support/quvo_run.h"
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


// RETURN without GOSUB, and a GOSUB one past the depth limit: the event
// point ends as every uncaught run-time error does, with the completion code
// 300540, and standard error names the error itself, its number and text.
TEST_F(ScRun, ARunTimeErrorIsNamedWithItsOwnNumber) {
  std::string deep = "process 6 DEEP\nstatements 1\n" + calc("", "A", "0") + line("", "LABEL", {{0, "L1"}}) +
                     calc("", "A", "A + 1") + test("", "IF", "A", 5, "1002") + line("T", "GOSUB", {{4, "L1"}}) +
                     kEnd;
  define("process 6 NORET\nstatements 1\n" + line("", "RETURN") + kEnd + deep, {"NORET", "DEEP"});
  for (auto [proc, what] : {std::pair{"NORET", "(run-time error 300410: RETURN without GOSUB)"},
                            std::pair{"DEEP", "(run-time error 300420: GOSUB nested too deep)"}}) {
    Result r = run(proc);
    EXPECT_NE(r.status, 127) << proc;
    EXPECT_NE(r.status, 0) << proc;
    EXPECT_NE(r.err.find("ended with completion code 300540 " + std::string(what)), std::string::npos) << r.err;
  }
}

// BEG LOOP K = 001 TO 002 STEP 000 repeats for ever; in it a plain loop of
// a CALC and an IF counts B to 1000 and back to TOP.
std::string endless() {
  return "process 6 ENDLESS\nstatements 1\n" + calc("", "A", "0") + loop("K", "001", "002", "000") +
         calc("", "A", "A + 1") + calc("", "B", "0") + line("", "LABEL", {{0, "TOP"}}) + calc("", "B", "B + 1") +
         test("", "IF", "B", 5, "1000") + line("T", "GOTO", {{0, "TOP"}}) + line("", "END LOOP", {{0, "K"}}) +
         line("", "END PROC");
}

// The settings of a run of the engine as ScRun::run gives them, as env words.
std::vector<std::string> abc_env(const std::string& data, std::vector<std::string> more) {
  more.insert(more.begin(), {"QUVOPATH=" + data, "QUVO_TEST_USER=ABU", "HOME=/nonexistent"});
  return more;
}

// Verifies every native data file of the data directory (each with an index).
void expect_files_sound(const std::string& data) {
  std::string files = sh("cd " + q(data) + " && find . -name '*.ix' | sed 's/[.]ix$//' | sort | tr '\\n' ' '");
  ASSERT_FALSE(files.empty());
  int rc = -1;
  std::string out = sh("cd " + q(data) + " && env -i PATH=/usr/bin:/bin" + sanitizer_env() + " QUVOPATH=" + q(data) +
                           " " + q(QUVO_BINARY) + " -fv " + files + " 2>&1",
                       &rc);
  EXPECT_EQ(rc, 0) << out;
}

// Waits (a minute at most) until the engine catches sig (before, early in
// its start, the signal ends it as the system does) and has since used 1.5 s
// of processor time: running the endless loop. False when it ended first.
// (SIGTERM by default: a shell that starts the engine may catch ^C itself.)
bool wait_busy(pid_t pid, int sig = SIGTERM) {
  std::string proc = "/proc/" + std::to_string(pid);
  long from = -1;
  return poll_until([&] {
    std::string st = slurp(proc + "/stat");
    size_t at = st.rfind(')');
    if (at == std::string::npos) return Poll::Failed;
    std::istringstream in(st.substr(at + 2));
    std::string state, skip;
    in >> state;
    if (state == "Z") return Poll::Failed;
    for (int f = 0; f < 10; ++f) in >> skip;
    long utime = 0, stime = 0;
    in >> utime >> stime;
    if (from < 0 && catches_signal(pid, sig)) from = utime + stime;
    return from >= 0 && utime + stime - from >= sysconf(_SC_CLK_TCK) * 3 / 2 ? Poll::Done : Poll::Wait;
  });
}

// ^C during an endless loop of a Subroutine run from the command line at a
// terminal: the process ends as CANCEL ends it and the engine is back at the
// shell. The run shows nothing, so the terminal was never taken: while the
// loop ran the shell's text stayed on the screen (no alternate screen).
// The data files verify clean afterwards.
TEST_F(ScRun, CtrlCEndsAnEndlessLoopAndTheScreenStaysAsItWas) {
  define(endless(), {"ENDLESS"});
  std::string rcf = root + "/rc", errf = root + "/err";
  // The shell catches ^C itself (the engine gets it as usual), so that it
  // lives on to note the engine's status.
  std::string pidf = root + "/pid";
  std::string engine = "echo $$ > " + q(pidf) + "; exec env -i PATH=/usr/bin:/bin TERM=xterm LANG=C.UTF-8 QUVOPATH=" +
                       q(data) + " QUVO_TEST_USER=ABU" + sanitizer_env() + " " + q(QUVO_BINARY) +
                       " -d DB1 -a ABC -t Subroutine -p ENDLESS 2>" + q(errf);
  std::string cmd = "trap : INT; echo SHELL TEXT BEFORE; sh -c " + q(engine) + "; echo $? > " + q(rcf) + "; sleep 30";
  std::string tmux = "env -u TMUX TMUX_TMPDIR=" + q(root) + " SHELL=/bin/sh tmux -L quvo-scint-" +
                     std::to_string(getpid()) + " -f /dev/null ";
  sh(tmux + "new-session -d -x 80 -y 24 " + q(cmd) + " 2>&1");
  std::string pid;
  for (int i = 0; i < 1000 && (pid.empty() || pid.back() != '\n'); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pid = slurp(pidf);
  }
  EXPECT_TRUE(wait_busy(pid_t(std::atoi(pid.c_str())))) << "the endless loop did not run: " << slurp(errf);
  EXPECT_EQ(sh(tmux + "display-message -p '#{alternate_on}'"), "0\n");
  EXPECT_NE(sh(tmux + "capture-pane -p").find("SHELL TEXT BEFORE"), std::string::npos);
  sh(tmux + "send-keys C-c");
  std::string rc;
  for (int i = 0; i < 1000 && (rc.empty() || rc.back() != '\n'); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    rc = slurp(rcf);
  }
  sh(tmux + "kill-server 2>&1");
  ASSERT_FALSE(rc.empty()) << "^C did not end the engine";
  // The caller is told the command was interrupted, not that it ended well.
  EXPECT_EQ(std::atoi(rc.c_str()), 20) << slurp(errf);
  EXPECT_EQ(slurp(errf), "quvo: interrupted: the start-up process ABC 00 Subroutine \"ENDLESS\" ended with completion code 4\n");
  expect_files_sound(data);
}

// SIGTERM and SIGHUP end the endless loop, and the engine, with the status
// that says so; here with no terminal at all (no TERM either, as from cron).
TEST_F(ScRun, TermAndHangupEndTheEngineWithTheirStatus) {
  define(endless(), {"ENDLESS"});
  for (int sig : {SIGTERM, SIGHUP}) {
    // (A signal this run ignores, as under nohup, the engine keeps ignoring.)
    struct sigaction now;
    if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
    pid_t pid = start_quvo({"-d", "DB1", "-a", "ABC", "-t", "Subroutine", "-p", "ENDLESS"}, abc_env(data, {}));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(wait_busy(pid, sig)) << "the endless loop did not run";
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, WNOHANG), 0) << "the endless loop ended by itself";
    kill(pid, sig);
    if (!poll_until([&] { return waitpid(pid, &st, WNOHANG) == 0 ? Poll::Wait : Poll::Done; })) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      ADD_FAILURE() << "signal " << sig << " did not end the engine";
      continue;
    }
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == kExitStopSignal) << "signal " << sig << ": status " << st;
  }
  expect_files_sound(data);
}

// From a script or cron (standard input and output not terminals, with and
// without TERM) a Subroutine that shows nothing runs to its end: status 0,
// and not one terminal escape byte in what it wrote.
TEST_F(ScRun, ASubroutineRunsWithoutATerminal) {
  define("process 6 QUIET\nstatements 1\n" + calc("", "A", "2 * 3") + unless("A", "6") + line("", "END PROC") +
             line("", "LABEL", {{0, "BAD"}}) + line("", "LOGOUT", {{8, "N"}}),
         {"QUIET"});
  for (const char* term : {"TERM=xterm", "LANG=C"}) {
    QuvoRun r = run_quvo({"-d", "DB1", "-a", "ABC", "-t", "Subroutine", "-p", "QUIET"}, abc_env(data, {term}));
    EXPECT_EQ(r.status, 0) << term << ": " << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << term;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << term;
  }
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
            "the start-up process did not start: ABC 00 Subroutine \"BAD\": Process does not compile\n"
            "event point 1, sequence 200: 100940 Label is not defined\n"
            "      GOTO     NOWHERE\n"
            "event point 1, sequence 300: 102070 Dictionary ELEMENT file cannot be opened\n"
            "      SET      ABC X                          =\n"
            "startup error: 4\n\n");
  // The default start-up menu compiles (its frame, image, item-less screen
  // and options) and starts: the menu executor's scripted double ends it.
  r = run_abc("QUVO_TEST_USER=ABU QUVO_TEST_EXEC=1:2", "");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

}  // namespace
