// The program entry as a user meets it: the real quvo binary, run with an
// explicit environment, temporary data and home directories.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/quvo_run.h"

namespace {
bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A data directory with something installed (and the keymaps of the
// bootstrap, for the interactive engine), and an empty home.
struct Dirs {
  TempDir data, home;
  Dirs() {
    data.write("SA/USER.dat", "");
    run_quvo({"-b"}, env());
  }
  std::vector<std::string> env(std::vector<std::string> more = {}) const {
    std::vector<std::string> e{"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str(), "TERM=xterm"};
    e.insert(e.end(), more.begin(), more.end());
    return e;
  }
};
}  // namespace

TEST(Start, RefusedCommandLinesPrintUsageAndExit1) {
  Dirs d;
  struct Case {
    std::vector<std::string> args;
    std::string why;
  };
  std::vector<Case> cases = {
      {{"-x"}, "unknown option -x"},
      {{"-bk"}, "unknown option -bk"},
      {{"--QUVO_X"}, "environment settings are --NAME=VALUE"},
      {{"--1X=2"}, "environment settings are --NAME=VALUE"},
      {{"-d"}, "option -d needs a value"},
      {{"-a", "ABCD"}, "option -a: an application id of 1 to 3 characters"},
      {{"-p", std::string(31, 'P')}, "option -p: a process name of 1 to 30 characters"},
      {{"-t", "Report"}, "unknown process type \"Report\""},
      {{"-b", "-k"}, "choose one run mode"},
      {{"-b", "-a", "0SA"}, "belong to the interactive engine"},
  };
  for (const Case& c : cases) {
    QuvoRun r = run_quvo(c.args, d.env());
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_TRUE(has(r.err, c.why)) << c.args[0] << ": " << r.err;
    EXPECT_TRUE(has(r.err, "usage: quvo")) << c.args[0];
    EXPECT_EQ(r.out, "");
  }
}

TEST(Start, UsageListsEveryOptionAndVariable) {
  QuvoRun r = run_quvo({"-h"}, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  for (const char* part : {"-b ", "-r ", "-k ", "-c HOST", "-h, --help", "-d DB", "-a APP", "-v VER",
                           "-t TYPE", "-p NAME", "-s SESSION", "--NAME=VALUE", "QUVOPATH",
                           "QUVO_BG_SCRIPT", "QUVO_FAKE_TIME", "QUVO_DB_TRAPS", "QUVO_CENTURY_PIVOT", "QUVO_TEST_HOME",
                           "QUVO_MSG_SRC", "QUVO_TRACE_0APPS",
                           "quvo.env", "Exit status"})
    EXPECT_TRUE(has(r.out, part)) << part;
  EXPECT_EQ(run_quvo({"--help"}, {}).out, r.out);
}

TEST(Start, SettingOnTheCommandLineIsVisible) {
  Dirs d;
  QuvoRun r = run_quvo({"--QUVO_X=1", "--QUVO_EMPTY="}, d.env({"QUVO_TEST_PRINTENV=QUVO_X,QUVO_EMPTY,QUVO_NONE"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "QUVO_X=1\nQUVO_EMPTY=\nQUVO_NONE is not set\n");
}

TEST(Start, EnvironmentFilesOverrideInOrder) {
  Dirs d;
  d.data.write("quvo.env",
               "# data directory settings\n"
               "A=data\n"
               "  B = data  \n"
               "C=data\n"
               "D=data\n"
               "\n"
               "F=\"  spaced  \"\n"
               "G='x=1 # not a comment'\r\n");
  d.home.write("quvo.env", "B=home\nC=home\n");
  QuvoRun r = run_quvo({"--C=arg"}, d.env({"D=inherited", "E=inherited", "QUVO_TEST_PRINTENV=A,B,C,D,E,F,G"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "A=data\nB=home\nC=arg\nD=data\nE=inherited\nF=  spaced  \nG=x=1 # not a comment\n");
}

TEST(Start, QuvopathArgumentNamesTheDataDirectory) {
  Dirs d;
  TempDir other;
  other.write("quvo.env", "WHERE=other\n");
  other.write("SA/USER.dat", "");
  run_quvo({"-b"}, {"QUVOPATH=" + other.str()});
  d.data.write("quvo.env", "WHERE=data\n");
  QuvoRun r = run_quvo({"--QUVOPATH=" + other.str()}, d.env({"QUVO_TEST_PRINTENV=WHERE,QUVOPATH"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "WHERE=other\nQUVOPATH=" + other.str() + "\n");
}

TEST(Start, EnvironmentFileErrorsNameFileAndLine) {
  struct Case {
    std::string text;
    std::string why;
  };
  std::vector<Case> cases = {
      {"A=1\n\nnonsense here\n", "quvo.env line 3: expected NAME=VALUE, found \"nonsense here\""},
      {"# ok\n1X=2\n", "quvo.env line 2: bad variable name \"1X\""},
      {"A=\"open\n", "quvo.env line 1: unterminated quoted value for A"},
  };
  for (const Case& c : cases) {
    Dirs d;
    d.home.write("quvo.env", c.text);
    QuvoRun r = run_quvo({}, d.env());
    EXPECT_EQ(r.status, 12);
    EXPECT_TRUE(has(r.err, "QUVO startup failed because of the following\n" + d.home.sub("quvo.env") + " line"))
        << r.err;
    EXPECT_TRUE(has(r.err, c.why)) << r.err;
    EXPECT_TRUE(has(r.err, "startup error: 12\n\n")) << r.err;
  }
  // A settings file in the data directory is checked the same way.
  Dirs d;
  d.data.write("quvo.env", "OK=1\nexport X=1\n");
  QuvoRun r = run_quvo({}, d.env());
  EXPECT_EQ(r.status, 12);
  EXPECT_TRUE(has(r.err, d.data.sub("quvo.env") + " line 2: bad variable name \"export X\"")) << r.err;
}

TEST(Start, DataDirectoryMissingOrEmptyIsExplained) {
  TempDir t;
  QuvoRun r = run_quvo({}, {"QUVO_TEST_HOME=" + t.str()});
  EXPECT_EQ(r.status, 10);
  EXPECT_TRUE(has(r.err, "QUVOPATH is not set")) << r.err;
  EXPECT_TRUE(has(r.err, "startup error: 10")) << r.err;

  std::string missing = t.sub("no/such/dir");
  r = run_quvo({}, {"QUVOPATH=" + missing, "QUVO_TEST_HOME=" + t.str()});
  EXPECT_EQ(r.status, 10);
  EXPECT_TRUE(has(r.err, "the data directory " + missing + " (QUVOPATH) does not exist")) << r.err;
  EXPECT_TRUE(has(r.err, "mkdir -p " + missing)) << r.err;

  t.write("plain", "x");
  r = run_quvo({}, {"QUVOPATH=" + t.sub("plain"), "QUVO_TEST_HOME=" + t.str()});
  EXPECT_EQ(r.status, 10);
  EXPECT_TRUE(has(r.err, "which is not a directory")) << r.err;

  // Empty, or holding nothing but its settings file.
  t.write("data/quvo.env", "A=1\n");
  r = run_quvo({}, {"QUVOPATH=" + t.sub("data"), "QUVO_TEST_HOME=" + t.str()});
  EXPECT_EQ(r.status, 11);
  EXPECT_TRUE(has(r.err, "the data directory " + t.sub("data") + " (QUVOPATH) is empty")) << r.err;
  EXPECT_TRUE(has(r.err, "quvo -b")) << r.err;
  EXPECT_TRUE(has(r.err, "startup error: 11")) << r.err;
}

TEST(Start, InteractiveEngineStartsAndEndsCleanly) {
  Dirs d;
  QuvoRun r = run_quvo({}, d.env());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "(0LA 00 Menu \"QUVO MENU\")")) << r.err;
  r = run_quvo({"-d", "DB1", "-a", "0SA", "-t", "input", "-p", "USERS", "MODE=3"}, d.env());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "(0SA 00 Input \"USERS\")")) << r.err;
  r = run_quvo({"-s", "S1234567"}, d.env());
  EXPECT_EQ(r.status, 14);
  EXPECT_TRUE(has(r.err, "background session (-s) is not available")) << r.err;
}

TEST(Start, RunModesNotBuiltYetSaySo) {
  Dirs d;
  struct Case {
    std::vector<std::string> args;
    std::string what;
  };
  for (const Case& c : std::vector<Case>{{{"-r"}, "the remote file server (-r)"},
                                         {{"-c", "host:7001"}, "the network-terminal client (-c)"}}) {
    QuvoRun r = run_quvo(c.args, d.env());
    EXPECT_EQ(r.status, 14) << c.what;
    EXPECT_TRUE(has(r.err, c.what + " is not available in this build yet")) << r.err;
  }
}

TEST(Start, MemoryFaultEndsTheStartupProcessWithCode37) {
  Dirs d;
  for (std::string kind : {"segv", "bus"}) {
    QuvoRun r = run_quvo({}, d.env({"QUVO_TEST_FAULT=" + kind}));
    EXPECT_EQ(r.status, 37) << r.err;
    std::string sig = kind == "segv" ? "SIGSEGV" : "SIGBUS";
    EXPECT_TRUE(has(r.err, "QUVO SYSTEM ERROR in OS line")) << r.err;
    EXPECT_TRUE(has(r.err, "memory fault: " + sig)) << r.err;
    EXPECT_TRUE(has(r.err, "QUVO startup failed because of the following\n")) << r.err;
    EXPECT_TRUE(has(r.err, "ended with completion code 37 (memory fault)")) << r.err;
    EXPECT_TRUE(has(r.err, "startup error: 37\n\n")) << r.err;
    EXPECT_FALSE(has(r.err, "did not fault")) << r.err;
  }
}

TEST(Start, MalformedFakeTimeStopsTheStart) {
  Dirs d;
  QuvoRun r = run_quvo({}, d.env({"QUVO_FAKE_TIME=tomorrow"}));
  EXPECT_EQ(r.status, 15);
  EXPECT_TRUE(has(r.err, "QUVO_FAKE_TIME=tomorrow is not +SECONDS, -SECONDS or a local time YYYYMMDDHHMMSS"))
      << r.err;
  EXPECT_EQ(run_quvo({}, d.env({"QUVO_FAKE_TIME=20240229235959"})).status, 0);
}
