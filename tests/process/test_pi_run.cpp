// The process runner end to end: the real engine in tmux on a bootstrapped
// data directory to which the test application "ABC" and saved modules of
// its processes were added (the fixture compiler compiles them here, the
// engine loads them). Each run's exit status, standard error and the
// instruction trace are checked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "pl_fixture.h"
#include "support/quvo_run.h"
#include "support/tmux.h"

using namespace pltest;
using namespace tmuxrun;

namespace {

// The fixture compiler, with event point 06 running the code of 01.
int compiler_with_ep06(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  if (ok) c->em->proc_eps[5] = c->em->proc_eps[0];
  return ok;
}

class PiRun : public ::testing::Test {
 protected:
  std::string root, data;
  static inline int seq = 0;

  void SetUp() override {
    ASSERT_EQ(make_engine_dir("quvo-pirun", &root, &data), 0);
    // The test application, its users and database, and saved modules.
    Engine e;
    e.dir = data;
    e.start(false);
    em_set_compiler(compiler_with_ep06);
    ASSERT_EQ(fx::write("APPL", nullptr, nullptr, {fx::appl("ABC", "00"), fx::appl("ABC", "01")}), 2);
    ASSERT_EQ(fx::write("PARAM", "ABC", "00", {fx::param("MENU")}), 1);
    // Saved files are named by the creation stamp: one stamp each.
    std::vector<fx::Rec> procs = {proc_rec("SUB", 6, "1", 50, "2026-01-01T00:00:01", "2026-01-01T00:00:01"),
                                  proc_rec("ACT", 4, "1", 50, "2026-01-01T00:00:02", "2026-01-01T00:00:02"),
                                  proc_rec("SEC", 6, "1", 50, "2026-01-01T00:00:03", "2026-01-01T00:00:03")};
    rec::view<DProc>(procs[2].data()).secr[0].set("5");
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", procs), 3);
    auto user = [](const char* id, const char* profile) {
      auto u = fx::user(id);
      rec::view<DUser>(u.data()).db.set("DB1");
      rec::view<DUser>(u.data()).profile.set(profile);
      return u;
    };
    auto no_db = user("NDB", "");
    rec::view<DUser>(no_db.data()).db.clear();
    ASSERT_EQ(fx::write("USER", nullptr, nullptr, {user("ABU", ""), user("REF", "NONE"), no_db}), 3);
    fx::Rec prof = fx::rec("PROFILE", {{"name", "NONE"}});
    rec::view<DProfile>(prof.data()).bits.zero();
    ASSERT_EQ(fx::write("PROFILE", nullptr, nullptr, {prof}), 1);
    fx::Rec db = fx::rec("DATABASE", {{"id", "DB1"}, {"app", "ABC"}, {"ver", "00"}});
    ASSERT_EQ(fx::write("DATABASE", nullptr, nullptr, {db}), 1);
    com.user_id.set("ABU");
    pi_getters_reset();
    for (auto [name, type] : {std::pair{"SUB", 6}, {"ACT", 4}, {"SEC", 6}}) {
      descs()[name] = Desc{{}, {}, {}, false};
      Pcb* p = e.pcb(name, 2, type);
      ASSERT_EQ(pl_get(p, 1), 1) << name;
      pl_release(p);
    }
    descs().clear();
    e.stop(false);
  }
  void TearDown() override { sh("rm -rf " + q(root)); }

  using Result = EngineResult;
  // Runs the engine in a private tmux server and waits for its end.
  Result run(const std::string& args, const std::string& env = "") {
    std::string name = "quvo-pi-" + std::to_string(getpid()) + "-" + std::to_string(seq++);
    return run_engine(root, data, name, env, args);
  }
};

TEST_F(PiRun, EngineRunsTheProcessesOfTheCommandLine) {
  // A Subroutine of a database's application: event point 01, then 06.
  Result r = run("-d DB1 -a ABC -v 00 -t Subroutine -p SUB", "QUVO_TEST_USER=ABU");
  EXPECT_EQ(r.status, 0) << r.err;
  size_t ep1 = r.trace.find("SUB                            - 1\r\n");
  size_t ep6 = r.trace.find("SUB                            - 6\r\n");
  EXPECT_NE(ep1, std::string::npos) << r.trace;
  EXPECT_NE(ep6, std::string::npos) << r.trace;
  EXPECT_LT(ep1, ep6);
  std::printf("Subroutine: exit status %d\n", r.status);

  // What the command line names and the dictionary lacks, and options the
  // start would drop: refused at once, before the screen, with status 1.
  struct Refused {
    std::string args, user, why;
  };
  for (const Refused& c : std::vector<Refused>{
           {"-d XX -a ABC -t Subroutine -p SUB", "ABU", "database XX does not exist"},
           {"-d DB1 -a ZZZ -t Subroutine -p SUB", "ABU", "no application ZZZ"},
           {"-a ZZZ -t Subroutine -p SUB", "NDB", "no application ZZZ"},
           {"-d DB1 -a ABC -v 07 -t Subroutine -p SUB", "ABU", "no version 07 of application ABC"},
           {"-d DB1 -a ABC -t Subroutine -p NOPE", "ABU", "no Subroutine NOPE in ABC"},
           {"-d DB1 -a ABC -t Input -p SUB", "ABU", "no Input SUB in ABC (there is a Subroutine process of that name)"},
           {"-d DB1 -a ABC -p ACT", "ABU", "no Menu ACT in ABC (there is an Action process of that name)"},
           {"-d DB1 -t Subroutine -p SUB", "ABU",
            "-v, -t and -p name a process of an application: name the application with -a"},
           {"-d DB1 -a ABC -t Subroutine", "ABU", "-t needs -p: name the process of that type to run"},
           // Without a database, a process of an application that needs one
           // would give way to the default menu.
           {"-a ABC -t Subroutine -p SUB", "NDB",
            "application ABC runs on a database, and your USER record names none: name it with -d"},
       }) {
    r = run(c.args, "QUVO_TEST_USER=" + c.user);
    EXPECT_EQ(r.status, 1) << c.args;
    EXPECT_EQ(r.err, "QUVO startup failed because of the following\n" + c.why + "\nstartup error: 1\n\n") << c.args;
    EXPECT_EQ(r.trace, "") << c.args;
  }
  // A version other than the database's: said, and the database's runs.
  r = run("-d DB1 -a ABC -v 01 -t Subroutine -p SUB", "QUVO_TEST_USER=ABU");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "quvo: -v 01 is not used: database DB1 runs version 00\n");
  EXPECT_NE(r.trace.find("SUB                            - 1\r\n"), std::string::npos) << r.trace;

  // An executor that ends with a logout.
  r = run("-d DB1 -a ABC -t Action -p ACT", "QUVO_TEST_USER=ABU QUVO_TEST_EXEC=4:24");
  EXPECT_EQ(r.status, 127) << r.err;
  std::printf("logout from the executor: exit status %d\n", r.status);

  // A user whose profile lacks the process's security code.
  r = run("-d DB1 -a ABC -t Subroutine -p SEC", "QUVO_TEST_USER=REF");
  EXPECT_EQ(r.status, 34) << r.err << r.trace;
  std::printf("refused user: exit status %d\n", r.status);
  r = run("-d DB1 -a ABC -t Subroutine -p SEC", "QUVO_TEST_USER=ABU");
  EXPECT_EQ(r.status, 0) << r.err;

  // A login name missing from the USER file stops the start.
  r = run("-d DB1 -a ABC -t Subroutine -p SUB", "QUVO_TEST_USER=XYZ");
  EXPECT_EQ(r.status, 13) << r.err;
  EXPECT_NE(r.err.find("User System ID (XYZ) not found in USER File"), std::string::npos) << r.err;
}

// Log files named by settings (as the data directory's quvo.env may name
// them for every user): a link planted at such a name is not followed, so
// the file it leads to is neither emptied nor written; the run goes on.
TEST_F(PiRun, LogFilesNamedBySettingsFollowNoLink) {
  std::string env, warned;
  // In the order the engine opens them: at the start of the screen, of the
  // module loader and of the interpreter, at the first shared data area.
  for (const char* var : {"QUVO_WM_LOG", "QUVO_DBG_VFY", "QUVO_INST_TRACE", "QUVO_SAA_LOG"}) {
    std::string victim = root + "/" + var + ".victim", link = root + "/" + var + ".log";
    std::ofstream(victim) << "precious\n";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    env += std::string(var) + "=" + q(link) + " ";
    warned += "quvo: " + std::string(var) + "=" + link + " is not opened: it is a symbolic link; nothing is logged there\n";
  }
  Result r = run("-d DB1 -a ABC -t Subroutine -p SUB", env + "QUVO_TEST_USER=ABU");
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* var : {"QUVO_WM_LOG", "QUVO_DBG_VFY", "QUVO_INST_TRACE", "QUVO_SAA_LOG"})
    EXPECT_EQ(slurp(root + "/" + var + ".victim"), "precious\n") << var;
  EXPECT_EQ(r.err, warned);
}

// The engine users run signs on as the real user whatever a setting says:
// QUVO_TEST_USER from the environment, the command line or the data
// directory's quvo.env is not honoured (the real user is not in this USER
// file, ABU is).
TEST_F(PiRun, TheEngineUsersRunSignsOnAsTheRealUserOnly) {
  passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  std::string refused = "\nUser System ID (" + std::string(pw->pw_name) + ") not found in USER File\n";
  std::vector<std::string> args{"-d", "DB1", "-a", "ABC", "-t", "Subroutine", "-p", "SUB"};
  std::vector<std::string> env{"QUVOPATH=" + data, "TERM=xterm"};
  auto user_engine = [&](std::vector<std::string> more_args, std::vector<std::string> more_env) {
    more_args.insert(more_args.end(), args.begin(), args.end());
    more_env.insert(more_env.end(), env.begin(), env.end());
    return run_quvo(more_args, more_env, {}, QUVO_USER_BINARY);
  };
  EXPECT_TRUE(ended(user_engine({}, {"QUVO_TEST_USER=ABU"}), 13, {refused}));
  EXPECT_TRUE(ended(user_engine({"--QUVO_TEST_USER=ABU"}, {}), 13, {refused}));
  std::ofstream(data + "/quvo.env") << "QUVO_TEST_USER=ABU\n";
  chmod((data + "/quvo.env").c_str(), 0644);
  EXPECT_TRUE(ended(user_engine({}, {}), 13, {refused}));
  // The suite's engine takes the name from that file (and goes on to the
  // terminal, which this run lacks).
  QuvoRun t = run_quvo(args, env);
  EXPECT_NE(t.status, 13) << t.err;
  EXPECT_EQ(t.err.find("User System ID"), std::string::npos) << t.err;
  // A user without a password entry is named by the number, not by LOGNAME.
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 || getpwuid(54321)) return;
  unlink((data + "/quvo.env").c_str());
  for (const std::filesystem::path& d : {std::filesystem::path(data).parent_path(), std::filesystem::path(data)})
    std::filesystem::permissions(d, std::filesystem::perms::all, std::filesystem::perm_options::add);
  for (const auto& e : std::filesystem::recursive_directory_iterator(data))
    std::filesystem::permissions(e.path(), std::filesystem::perms::all, std::filesystem::perm_options::add);
  std::vector<std::string> e{"LOGNAME=ABU"};
  e.insert(e.end(), env.begin(), env.end());
  QuvoRun n = run_quvo(args, e, {"/usr/bin/setpriv", "--reuid=54321", "--regid=54321", "--clear-groups"},
                       QUVO_USER_BINARY);
  EXPECT_TRUE(ended(n, 13, {"\nUser System ID (uid54321) not found in USER File\n"})) << n.err;
}

}  // namespace
