// The program entry as a user meets it: the real quvo binary, run with an
// explicit environment, temporary data and home directories.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
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
    std::vector<std::string> e{"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str(), "TERM=xterm",
                                 "QUVO_TEST_NO_PI=1"};
    e.insert(e.end(), more.begin(), more.end());
    return e;
  }
};
}  // namespace

TEST(Start, RefusedCommandLinesSayWhyAndPointAtHelp) {
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
    // The reason and one line that points at -h, spelled as the program was run.
    EXPECT_EQ(r.err.rfind("quvo: ", 0), 0u) << r.err;
    EXPECT_TRUE(has(r.err, c.why)) << c.args[0] << ": " << r.err;
    EXPECT_TRUE(has(r.err, "\n" + std::string(QUVO_BINARY) + " -h lists the options")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(Start, UsageListsEveryOptionAndVariable) {
  QuvoRun r = run_quvo({"-h"}, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(has(r.out, "usage: " + std::string(QUVO_BINARY) + " [run mode]")) << r.out;
  for (const char* part : {"-b ", "-r ", "-k ", "-c HOST", "-h, --help", "-d DB", "-a APP", "-v VER",
                           "-t TYPE", "-p NAME", "-s SESSION", "--NAME=VALUE", "quvo.env", "Exit status",
                           "F3 END", "ESC CANCEL", "Alt-D DELETE CONFIRM", "Alt-N NEXT RECORD"})
    EXPECT_TRUE(has(r.out, part)) << part;
  EXPECT_EQ(run_quvo({"--help"}, {}).out, r.out);
  // Every line fits an 80-column terminal.
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) EXPECT_LE(line.size(), 80u) << line;
  // Every variable the sources read is listed: getenv("NAME"),
  // os_getenv("NAME"), os_test_hook("NAME") and os_open_log("NAME") calls,
  // and families named by a "QUVO_..._" prefix (listed as QUVO_..._<...>).
  // None has two entries.
  std::set<std::string> names, families;
  std::regex call(R"re((?:getenv|os_test_hook|os_open_log)\s*\(\s*"([A-Za-z_][A-Za-z0-9_]*)")re");
  std::regex family(R"re("(QUVO_[A-Z0-9_]*_)")re");
  for (const auto& e : std::filesystem::recursive_directory_iterator(std::string(QUVO_SOURCE_DIR) + "/src")) {
    std::string ext = e.path().extension().string();
    if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
    std::ifstream f(e.path());
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (std::sregex_iterator m(text.begin(), text.end(), call), end; m != end; ++m) names.insert((*m)[1]);
    for (std::sregex_iterator m(text.begin(), text.end(), family), end; m != end; ++m) families.insert((*m)[1]);
  }
  EXPECT_GT(names.size(), 10u);
  for (const std::string& n : names) {
    std::regex word("(^|[^A-Za-z0-9_])" + n + "([^A-Za-z0-9_<]|$)"), entry("\n  " + n + "( |\n)");
    EXPECT_TRUE(std::regex_search(r.out, word)) << n << " is read but not listed by -h";
    auto entries = std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), entry), std::sregex_iterator());
    EXPECT_LE(entries, 1) << n << " has " << entries << " entries in -h";
  }
  for (const std::string& f : families) EXPECT_TRUE(has(r.out, f + "<")) << f << "<...> is not listed by -h";
  // The run modes this build lacks are marked.
  EXPECT_TRUE(has(r.out, "  -r              remote file server: serve the data directory's files\n"
                         "                  (not available in this build yet)\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "                  HOST (not available in this build yet)\n")) << r.out;
  EXPECT_TRUE(has(r.out, "              submit script passes it; not available in this build yet)\n")) << r.out;
}

// The test hooks change who the user is and how the engine starts, boots and
// faults: the engine users run honours none of them, from the environment,
// a quvo.env or the command line, and its usage text does not list them.
TEST(Start, TheEngineUsersRunHonoursNoTestHook) {
  auto user_engine = [](const std::vector<std::string>& args, const std::vector<std::string>& env) {
    return run_quvo(args, env, {}, QUVO_USER_BINARY);
  };
  QuvoRun h = user_engine({"-h"}, {});
  EXPECT_EQ(h.status, 0);
  EXPECT_FALSE(has(h.out, "QUVO_TEST_")) << h.out;
  EXPECT_FALSE(has(h.out, "Test hooks")) << h.out;
  EXPECT_TRUE(has(run_quvo({"-h"}, {}).out, "Test hooks (the suite's engine only")) << "the suite's engine lists them";

  Dirs d;
  // A home whose quvo.env stops the start where it is read.
  d.home.write("quvo.env", "nonsense\n");
  EXPECT_EQ(run_quvo({}, d.env()).status, 12);
  QuvoRun r = user_engine({}, d.env({"QUVO_TEST_PRINTENV=QUVOPATH"}));
  EXPECT_FALSE(has(r.err, d.home.sub("quvo.env"))) << r.err;
  EXPECT_EQ(r.out, "");
  // QUVO_TEST_NO_PI (in d.env) would start without the process manager and
  // name the start-up process instead of running it.
  EXPECT_FALSE(has(r.err, "the process manager is not available")) << r.err;
  EXPECT_NE(r.status, 0);
  // The bootstrap is not killed at the step QUVO_TEST_BOOT_KILL names.
  TempDir fresh, fresh2;
  r = user_engine({"-b", "--QUVO_TEST_BOOT_KILL=build"}, {"QUVOPATH=" + fresh.str()});
  EXPECT_EQ(r.status, 0) << r.err;
  r = run_quvo({"-b", "--QUVO_TEST_BOOT_KILL=build"}, {"QUVOPATH=" + fresh2.str()});
  EXPECT_EQ(r.status, 128 + SIGKILL) << r.err;
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
  EXPECT_TRUE(ended(r, 12, {d.data.sub("quvo.env") + " line 2: bad variable name \"export X\""}));
}

TEST(Start, DataDirectoryMissingOrEmptyIsExplained) {
  TempDir t;
  QuvoRun r = run_quvo({}, {"QUVO_TEST_HOME=" + t.str()});
  EXPECT_TRUE(ended(r, 10, {"QUVOPATH is not set", "startup error: 10"}));

  std::string missing = t.sub("no/such/dir");
  r = run_quvo({}, {"QUVOPATH=" + missing, "QUVO_TEST_HOME=" + t.str()});
  EXPECT_TRUE(ended(r, 10, {"the data directory " + missing + " (QUVOPATH) does not exist", "mkdir -p " + missing}));

  t.write("plain", "x");
  r = run_quvo({}, {"QUVOPATH=" + t.sub("plain"), "QUVO_TEST_HOME=" + t.str()});
  EXPECT_TRUE(ended(r, 10, {"which is not a directory"}));

  // Empty, or holding nothing but its settings file.
  t.write("data/quvo.env", "A=1\n");
  r = run_quvo({}, {"QUVOPATH=" + t.sub("data"), "QUVO_TEST_HOME=" + t.str()});
  EXPECT_TRUE(ended(r, 11,
                    {"the data directory " + t.sub("data") + " (QUVOPATH) is empty", std::string(QUVO_BINARY) + " -b",
                     "startup error: 11"}));

  // Something there, but never bootstrapped: the same advice and status.
  t.write("data/SA/USER.dat", "");
  r = run_quvo({}, {"QUVOPATH=" + t.sub("data"), "QUVO_TEST_HOME=" + t.str(), "TERM=xterm"});
  EXPECT_TRUE(ended(r, 11,
                    {"(QUVOPATH) was never bootstrapped", "build them with: " + std::string(QUVO_BINARY) + " -b"}));
}

namespace {
// Runs as another user (uid and gid 65534 unless given), where root can.
std::vector<std::string> as_user(int uid = 65534, int gid = 65534, const std::string& groups = "") {
  return {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(gid),
          groups.empty() ? std::string("--clear-groups") : "--groups=" + groups};
}
bool can_setpriv() { return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0; }
}  // namespace

TEST(Start, DataDirectoryWithoutPermissionSaysSo) {
  if (!can_setpriv()) GTEST_SKIP() << "needs root and setpriv to run as another user";
  Dirs d;
  chmod(d.home.str().c_str(), 0755);
  chmod(d.data.str().c_str(), 0700);  // the other user may not search it
  d.data.write("quvo.env", "A=1\n");
  QuvoRun r = run_quvo({}, d.env(), as_user());
  EXPECT_EQ(r.status, 10) << r.err;
  EXPECT_TRUE(has(r.err, "the data directory " + d.data.str() + " (QUVOPATH) cannot be searched: Permission denied"))
      << r.err;
  EXPECT_FALSE(has(r.err, "quvo.env")) << r.err;

  // A file the user may only read: the utilities say "Permission denied".
  chmod(d.data.str().c_str(), 0755);
  std::string msg = d.data.sub("data/0LA00/MESSAGE");
  chmod(d.data.sub("data").c_str(), 0755);
  chmod(d.data.sub("data/0LA00").c_str(), 0755);
  for (const char* f : {"", ".ix", ".jn"}) chmod((msg + f).c_str(), 0644);
  r = run_quvo({"-fr", msg}, d.env(), as_user());
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(has(r.out + r.err, "Permission denied")) << r.out << r.err;
  EXPECT_FALSE(has(r.out + r.err, "Bad file descriptor")) << r.out << r.err;
  r = run_quvo({"-b"}, d.env(), as_user());
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(has(r.out + r.err, "Permission denied")) << r.out << r.err;
  EXPECT_FALSE(has(r.out + r.err, "Bad file descriptor")) << r.out << r.err;
}

TEST(Start, DataDirectorySettingsOnlyFromItsOwner) {
  // Writable by the group, or in a directory others may change: refused.
  {
    Dirs d;
    d.data.write("quvo.env", "A=1\n");
    chmod(d.data.sub("quvo.env").c_str(), 0664);
    QuvoRun r = run_quvo({}, d.env());
    EXPECT_TRUE(ended(r, 12, {"may be changed by users other than its owner", "chmod go-w " + d.data.sub("quvo.env")}));
    chmod(d.data.sub("quvo.env").c_str(), 0644);
    chmod(d.data.str().c_str(), 02775);
    r = run_quvo({}, d.env());
    EXPECT_TRUE(ended(r, 12, {"chmod +t " + d.data.str()}));
    chmod(d.data.str().c_str(), 03775);  // sticky: only owners replace their entries
    r = run_quvo({}, d.env({"QUVO_TEST_PRINTENV=A"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "A=1\n");
  }
  // A symbolic link is refused.
  {
    Dirs d;
    d.home.write("elsewhere.env", "A=1\n");
    unlink(d.data.sub("quvo.env").c_str());  // the bootstrap's empty one
    ASSERT_EQ(symlink(d.home.sub("elsewhere.env").c_str(), d.data.sub("quvo.env").c_str()), 0);
    QuvoRun r = run_quvo({}, d.env());
    EXPECT_TRUE(ended(r, 12, {"is a symbolic link"}));
  }
  // Owned by another user (a member of the group who replaced it).
  if (!can_setpriv()) GTEST_SKIP() << "needs root to give the file another owner";
  Dirs d;
  d.data.write("quvo.env", "A=1\n");
  ASSERT_EQ(chown(d.data.sub("quvo.env").c_str(), 65534, 65534), 0);
  QuvoRun r = run_quvo({}, d.env());
  const std::string member = getpwuid(65534) ? getpwuid(65534)->pw_name : "65534";
  EXPECT_TRUE(ended(r, 12, {"is owned by " + member + ", not by root or the data directory's owner root",
                            "root should review what " + member +
                                " put in it, then replace it by an empty file of their own:\n    rm " +
                                d.data.sub("quvo.env") + " && install -m 644 /dev/null " + d.data.sub("quvo.env")}));
  EXPECT_EQ(r.err.find("chown"), std::string::npos) << r.err;
  // The data directory's owner may keep it.
  ASSERT_EQ(chown(d.data.str().c_str(), 65534, 65534), 0);
  r = run_quvo({}, d.env({"QUVO_TEST_PRINTENV=A"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "A=1\n");
}

TEST(Start, InteractiveEngineStartsAndEndsCleanly) {
  Dirs d;
  QuvoRun r = run_quvo({}, d.env());
  EXPECT_TRUE(ended(r, 0, {"(0LA 00 Menu \"QUVO MENU\")"}));
  r = run_quvo({"-d", "DB1", "-a", "0SA", "-t", "input", "-p", "USERS", "MODE=3"}, d.env());
  EXPECT_TRUE(ended(r, 0, {"(0SA 00 Input \"USERS\")"}));
  r = run_quvo({"-s", "S1234567"}, d.env());
  EXPECT_TRUE(ended(r, 14, {"background session (-s) is not available"}));
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
  // Inside a library copy, which the unwinding may not pass (where the
  // copy is the engine's own, as the sanitizers build it, the process ends
  // as above): the engine ends as reported, never aborts.
  QuvoRun r = run_quvo({}, d.env({"QUVO_TEST_FAULT=copy"}));
  EXPECT_EQ(r.status, 37) << r.err;
  EXPECT_TRUE((has(r.err, "memory fault (SIGBUS) at address 0x") &&
               has(r.err, "inside a library routine, from which the process cannot be ended alone; the engine ends")) ||
              has(r.err, "ended with completion code 37 (memory fault)"))
      << r.err;
  EXPECT_FALSE(has(r.err, "terminate called")) << r.err;
  // An end for any other reason (a destructor throwing as a fault's unwind
  // passes it; an exception escaping a function declared not to throw, no
  // fault at all) is not a memory fault: it ends as such an end does.
  for (std::string kind : {"dtor", "noexcept"}) {
    QuvoRun t = run_quvo({}, d.env({"QUVO_TEST_FAULT=" + kind}));
    EXPECT_EQ(t.status, 128 + SIGABRT) << kind << ": " << t.err;
    EXPECT_TRUE(has(t.err, "terminate called after throwing an instance of 'std::logic_error'")) << kind << ": " << t.err;
    EXPECT_FALSE(has(t.err, "inside a library routine")) << kind << ": " << t.err;
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

// ./dev start with a relative QUVOPATH starts the engine on the caller's
// directory of that name. The repository's dev script runs in a copy whose
// build step and engine are stand-ins that record what they were given.
// It builds only the engine and the generator, runs the engine users run
// (never the suite's quvo-test), and says what it does.
TEST(Start, DevStartTakesARelativeDataDirectoryFromTheCaller) {
  TempDir repo, caller, stubs;
  std::filesystem::copy_file(std::string(QUVO_SOURCE_DIR) + "/dev", repo.sub("dev"));
  repo.write("build/quvo", "#!/bin/sh\necho \"$QUVOPATH $*\" >> " + repo.sub("ran") + "\n");
  repo.write("build/quvo-test", "#!/bin/sh\necho \"quvo-test $*\" >> " + repo.sub("ran") + "\n");
  stubs.write("cmake", "#!/bin/sh\necho \"cmake $*\" >> " + repo.sub("built") + "\necho 'ninja: no work to do.'\n");
  stubs.write("dpkg-query", "#!/bin/sh\necho 'install ok installed'\n");
  for (const std::string& f : {repo.sub("build/quvo"), repo.sub("build/quvo-test"), stubs.sub("cmake"),
                               stubs.sub("dpkg-query")})
    std::filesystem::permissions(f, std::filesystem::perms::owner_all);
  std::string cmd = "cd " + caller.str() + " && env -i PATH=" + stubs.str() + ":/usr/bin:/bin QUVOPATH=var/data " +
                    repo.sub("dev") + " start -k >" + repo.sub("said") + " 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  auto text = [](const std::string& path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  };
  std::string data = caller.sub("var/data");
  EXPECT_EQ(text(repo.sub("ran")), data + " -b\n" + data + " -k\n");
  EXPECT_TRUE(std::filesystem::is_directory(data));
  EXPECT_FALSE(std::filesystem::exists(repo.sub("var")));
  std::string built = text(repo.sub("built"));
  EXPECT_TRUE(std::regex_match(
      built, std::regex("cmake -S \\. -B build -G Ninja\ncmake --build build -j [0-9]+ --target quvo quvogen\n")))
      << built;
  EXPECT_EQ(text(repo.sub("said")),
            "dev: building the engine and the generator (build/quvo, build/tools/quvogen)...\n"
            "dev: bootstrapping the new data directory " + data + " (build/quvo -b)...\n"
            "dev: starting the engine on " + data + ": build/quvo -k\n");
}
