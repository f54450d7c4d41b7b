// Command line, initialiser hooks, the USER look-up, the choice of the
// start-up invocation and the end of the start-up by completion code.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "support/quvo_run.h"

namespace {
RunMode parse(std::vector<std::string> args, OsCmd* cmd) {
  args.insert(args.begin(), "quvo");
  std::vector<char*> av;
  for (auto& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  return os_parse_cmd(int(args.size()), av.data(), cmd);
}

std::string g_trail;
}  // namespace

TEST(Cmd, OptionsOfTheStartupInvocation) {
  OsCmd c;
  EXPECT_EQ(parse({"-dDB1", "-a", "0SA", "-v01", "-t", "10", "-p", "USER MAINT", "MODE=3", "word",
                   "--QUVO_A=x=y", "-s", "S1"},
                  &c),
            RunMode::Interactive);
  EXPECT_EQ(c.db, "DB1");
  EXPECT_EQ(c.app, "0SA");
  EXPECT_EQ(c.ver, "01");
  EXPECT_EQ(c.type, 10);
  EXPECT_EQ(c.name, "USER MAINT");
  EXPECT_EQ(c.session, "S1");
  EXPECT_EQ(c.params, (std::vector<std::string>{"MODE=3", "word"}));
  ASSERT_EQ(c.env.size(), 1u);
  EXPECT_EQ(c.env[0].first, "QUVO_A");
  EXPECT_EQ(c.env[0].second, "x=y");

  for (auto [text, type] : std::vector<std::pair<std::string, int>>{
           {"1", 1}, {"menu", 1}, {"Subroutine", 6}, {"STATUS", 10}, {"0", 0}, {"11", 0}, {"10x", 0}, {"Subrout", 0}}) {
    RunMode m = parse({"-t", text}, &c);
    EXPECT_EQ(c.type, type) << text;
    EXPECT_EQ(m, type ? RunMode::Interactive : RunMode::Usage) << text;
  }
  EXPECT_EQ(os_type_name(10), "Status");
  EXPECT_EQ(os_type_name(11), "11");
  EXPECT_EQ(parse({"-b"}, &c), RunMode::Bootstrap);
  EXPECT_EQ(parse({"-r", "A=1"}, &c), RunMode::FileServer);
  EXPECT_EQ(parse({"-k"}, &c), RunMode::KeymapUtility);
  EXPECT_EQ(parse({"-c", "host:7001"}, &c), RunMode::ThinClient);
  EXPECT_EQ(c.client, "host:7001");
  EXPECT_EQ(parse({"-h", "-x"}, &c), RunMode::Usage);
  EXPECT_FALSE(c.error.empty());  // a bad option wins over -h
  EXPECT_EQ(parse({"-b", "-k"}, &c), RunMode::Usage);  // two run modes
  EXPECT_EQ(parse({"-fv"}, &c), RunMode::Usage);       // a file utility with no files
  EXPECT_EQ(parse({"-fv", "F1"}, &c), RunMode::FileUtility);
  EXPECT_EQ(parse({"-h"}, &c), RunMode::Usage);
  EXPECT_TRUE(c.help);
  EXPECT_TRUE(c.error.empty());
  // A word beginning with 'c' is an application argument, not the client.
  EXPECT_EQ(parse({"city=Rome"}, &c), RunMode::Interactive);
}

TEST(InitHooks, RunInTheFixedOrderSkippingUnsetOnes) {
  g_trail.clear();
  static const char* names[] = {"fm", "cv", "pi", "msg", "wm", "pc", "pl", "rt", "sc", "ii",
                                "se", "rm", "fp", "mp", "ip", "ap", "qp", "dd", "inst"};
  static_assert(sizeof names / sizeof *names == size_t(OsInit::Count));
  // One hook function per stage, each leaving its name on the trail.
  auto set_all = []<size_t... I>(std::index_sequence<I...>) {
    (os_set_init(OsInit(I), [] { g_trail += std::string(names[I]) + " "; return 1; }), ...);
  };
  set_all(std::make_index_sequence<size_t(OsInit::Count)>{});
  os_set_init(OsInit::Pl, nullptr);
  EXPECT_EQ(os_run_inits(OsInit::FileManager, OsInit::Install), OsInit::Count);
  EXPECT_EQ(g_trail, "fm cv pi msg wm pc rt sc ii se rm fp mp ip ap qp dd inst ");
  EXPECT_STREQ(os_init_name(OsInit::Wm), "wm_init");
  EXPECT_STREQ(os_init_name(OsInit::Dd), "dd_init");

  // A failing initialiser stops the run and is named.
  g_trail.clear();
  os_set_init(OsInit::Rt, [] { g_trail += "rt! "; return 0; });
  std::snprintf(ut_dbg, sizeof ut_dbg, "an older reason");
  EXPECT_EQ(os_run_inits(OsInit::Wm, OsInit::Install), OsInit::Rt);
  EXPECT_EQ(g_trail, "wm pc rt! ");
  EXPECT_STREQ(ut_dbg, "");  // it gave no reason: none is shown but its own
  for (int s = 0; s < int(OsInit::Count); ++s) os_set_init(OsInit(s), nullptr);
}

// A start that failed never ends with status 0, nor with one the exit
// status cannot hold.
TEST(InitHooks, AFailedStartNeverEndsAsASuccess) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(os_startup_fail(0, "x"), 255);
  EXPECT_EQ(os_startup_fail(1, "x"), 1);
  EXPECT_EQ(os_startup_fail(255, "x"), 255);
  EXPECT_EQ(os_startup_fail(256, "x"), 255);
  ::testing::internal::GetCapturedStderr();
}

TEST(UserLookup, SkippedWithoutUserFileRefusedWhenMissingFromIt) {
  std::string why;
  os_set_user_lookup(nullptr);
  EXPECT_EQ(os_check_user(&why), 1);  // no file manager yet: skipped
  os_set_user_lookup([](std::string_view) { return -1; });
  EXPECT_EQ(os_check_user(&why), 1);  // no USER file, or an empty one
  os_set_user_lookup([](std::string_view) { return 1; });
  EXPECT_EQ(os_check_user(&why), 1);
  os_set_user_lookup([](std::string_view) { return 0; });
  EXPECT_EQ(os_check_user(&why), 0);
  EXPECT_EQ(why, "User System ID (" + std::string(os_uid()) + ") not found in USER File");
  os_set_user_lookup(nullptr);
}

TEST(StartInvoc, OptionsThenUserRecordThenDefaultMenu) {
  PiInvoc v;
  bool back = true;
  std::string why;
  ASSERT_TRUE(os_start_invoc(&v, &back, &why));
  EXPECT_FALSE(back);
  EXPECT_TRUE(v.app == "0LA");
  EXPECT_TRUE(v.ver == "00");
  EXPECT_EQ(v.type, 1);
  EXPECT_TRUE(v.name == "QUVO MENU");
  EXPECT_EQ(v.kind, 2);
  EXPECT_EQ(v.key_path, 255);
  EXPECT_EQ(v.completion, 0);

  os_hooks.user_start = [](PiInvoc* i, bool* b) {
    i->app.set("USR");
    i->name.set("HOME MENU");
    *b = true;
    return true;
  };
  ASSERT_TRUE(os_start_invoc(&v, &back, &why));
  EXPECT_TRUE(v.app == "USR");
  EXPECT_TRUE(back);
  os_hooks.user_start = nullptr;
}

// The whole start-up in a child process: hooks in their order, the start-up
// invocation run inside scope 1, the exit status by completion code.
namespace {
int g_code = 1;

// A data directory the start-up takes for bootstrapped (an empty USER
// file, the bootstrap's mark), named by QUVOPATH and holding quvo.env's home.
void start_in(TempDir& data) {
  data.write("SA/USER.dat", "");
  data.write("keymaps/none", "");  // the bootstrap's mark
  setenv("QUVOPATH", data.str().c_str(), 1);
  setenv("QUVO_TEST_HOME", data.str().c_str(), 1);
}

int main_with_hooks() {
  TempDir data;
  start_in(data);
  g_trail.clear();
  os_set_init(OsInit::FileManager, [] { g_trail += "fm "; return 1; });
  os_set_init(OsInit::Cv, [] { g_trail += "cv "; return 1; });
  os_set_user_lookup([](std::string_view) { g_trail += "user "; return 1; });
  os_set_init(OsInit::Pi, [] { g_trail += "pi "; return 1; });
  os_set_init(OsInit::Wm, [] { g_trail += "wm "; return 1; });
  os_set_init(OsInit::Dd, [] { g_trail += "dd "; return 1; });
  os_hooks.start_hook = [] { g_trail += "start "; };
  os_hooks.pi_exec = [](PiInvoc* v) {
    g_trail += "exec(" + v->name.str() + "@" + std::to_string(com.depth) + "," +
               std::to_string(com.proc_scope) + ") ";
    if (g_code > 1000) ut_unwind(g_code);
    v->completion = g_code;
  };
  os_hooks.logout = [] { g_trail += "logout "; };
  os_hooks.exit_hook = [] { g_trail += "exit "; };
  os_hooks.wm_finish = [] { g_trail += "wmend "; };
  char a0[] = "quvo";
  char* argv[] = {a0, nullptr};
  int status = os_main(1, argv);
  std::fprintf(stderr, "trail: %sstatus %d\n", g_trail.c_str(), status);
  return status;
}
void run_main_with_hooks() { std::exit(main_with_hooks()); }
}  // namespace

TEST(StartupDeath, HooksRunInOrderAndCodesGiveTheExitStatus) {
  g_code = 2;
  EXPECT_EXIT(run_main_with_hooks(), ::testing::ExitedWithCode(0),
              "trail: fm cv user pi wm dd start exec\\(QUVO MENU@1,1\\) exit wmend status 0");
  g_code = 24;
  EXPECT_EXIT(run_main_with_hooks(), ::testing::ExitedWithCode(127), "exec.*logout exit wmend status 127");
  g_code = 20;
  EXPECT_EXIT(run_main_with_hooks(), ::testing::ExitedWithCode(20),
              "QUVO startup failed because of the following\n.*completion code 20\nstartup error: 20\n\n");
  // A message number as the code: the exit status cannot hold it.
  g_code = 200960;
  EXPECT_EXIT(run_main_with_hooks(), ::testing::ExitedWithCode(255), "startup error: 200960\n\n.*status 255");
}

// A system error answered CANCEL ends the start-up process with code 3:
// a failed start, not a normal end; a CANCEL of the user's own ends normally.
namespace {
bool g_sys_err = true;
int main_cancelled() {
  TempDir data;
  start_in(data);
  os_set_sys_err_responder([](const char*, int, const char*) { return SysErrAnswer::Cancel; });
  os_hooks.pi_exec = [](PiInvoc*) {
    if (g_sys_err) os_sys_err_text("TEST", 7, "a test error");
    ut_unwind(3);
  };
  char a0[] = "quvo";
  char* argv[] = {a0, nullptr};
  return os_main(1, argv);
}
void run_main_cancelled() { std::exit(main_cancelled()); }
}  // namespace

TEST(StartupDeath, ASystemErrorAnsweredCancelFailsTheStart) {
  g_sys_err = true;
  EXPECT_EXIT(run_main_cancelled(), ::testing::ExitedWithCode(3),
              "QUVO startup failed because of the following\nthe start-up process 0LA 00 Menu \"QUVO MENU\" ended "
              "with completion code 3 \\(a system error was answered CANCEL\\)\nstartup error: 3\n\n");
  g_sys_err = false;
  EXPECT_EXIT(run_main_cancelled(), ::testing::ExitedWithCode(0), "");
}

namespace {
int main_without_user() {
  TempDir data;
  start_in(data);
  os_set_user_lookup([](std::string_view) { return 0; });
  char a0[] = "quvo";
  char* argv[] = {a0, nullptr};
  return os_main(1, argv);
}
void run_main_without_user() { std::exit(main_without_user()); }
}  // namespace

TEST(StartupDeath, UserMissingFromTheUserFileStopsTheStart) {
  EXPECT_EXIT(run_main_without_user(), ::testing::ExitedWithCode(kExitNoUser),
              "QUVO startup failed because of the following\nUser System ID \\(.+\\) not found in USER File\n"
              "startup error: 13\n\n");
}

// The event trace: nothing while no trace is open, nothing for the system
// applications unless QUVO_TRACE_0APPS was set when the trace started.
namespace {
int g_traced = 0;
int trace_hook(int, int level, uint32_t, void*, void*) {
  ++g_traced;
  return level + 100;
}
}  // namespace

TEST(Trace, SystemApplicationsAreTracedOnlyWhenAsked) {
  uint8_t user_pcb[640] = {}, sys_pcb[640] = {};
  rec::view<PcbHead>(user_pcb).invoc.app.set("ORD");
  rec::view<PcbHead>(sys_pcb).invoc.app.set("0LA");
  unsetenv("QUVO_TRACE_0APPS");
  os_set_trace_hook(nullptr);
  g_traced = 0;
  EXPECT_EQ(TRACE_QUVO(6, 1, 0, user_pcb, nullptr), 0);  // no trace open
  os_set_trace_hook(trace_hook);
  EXPECT_EQ(TRACE_QUVO(6, 1, 0, user_pcb, nullptr), 101);
  EXPECT_EQ(TRACE_QUVO(6, 2, 0, sys_pcb, nullptr), 0);
  EXPECT_EQ(g_traced, 1);
  setenv("QUVO_TRACE_0APPS", "1", 1);
  EXPECT_EQ(TRACE_QUVO(6, 2, 0, sys_pcb, nullptr), 0);  // read when the trace started
  os_set_trace_hook(trace_hook);
  unsetenv("QUVO_TRACE_0APPS");
  EXPECT_EQ(TRACE_QUVO(6, 2, 0, sys_pcb, nullptr), 102);
  EXPECT_EQ(g_traced, 2);
  os_set_trace_hook(nullptr);
  EXPECT_EQ(TRACE_QUVO(6, 1, 0, user_pcb, nullptr), 0);
  EXPECT_EQ(g_traced, 2);
}

// The log files that settings name: appended to, never truncated, never
// reached through a symbolic link, made new with mode 0600, and only the
// user's own regular files taken. Each refusal is one line on standard error.
TEST(LogFile, OpensOnlyTheUsersOwnRegularFileForAppending) {
  TempDir d;
  auto open_log = [](const std::string& path, std::string* said) {
    setenv("QUVO_X_LOG", path.c_str(), 1);
    ::testing::internal::CaptureStderr();
    FILE* f = os_open_log("QUVO_X_LOG");
    *said = ::testing::internal::GetCapturedStderr();
    unsetenv("QUVO_X_LOG");
    return f;
  };
  auto refused = [](const std::string& path, const std::string& why) {
    return "quvo: QUVO_X_LOG=" + path + " is not opened: " + why + "; nothing is logged there\n";
  };
  auto text = [](const std::string& path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  };
  std::string said;
  unsetenv("QUVO_X_LOG");
  EXPECT_EQ(os_open_log("QUVO_X_LOG"), nullptr);
  EXPECT_EQ(open_log("", &said), nullptr);
  EXPECT_EQ(said, "");

  // A new file: 0600 whatever the umask allows; then appended to.
  mode_t old_mask = umask(0);
  FILE* f = open_log(d.sub("new.log"), &said);
  umask(old_mask);
  ASSERT_NE(f, nullptr) << said;
  std::fputs("one\n", f);
  std::fclose(f);
  struct stat st;
  ASSERT_EQ(stat(d.sub("new.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  f = open_log(d.sub("new.log"), &said);
  ASSERT_NE(f, nullptr) << said;
  std::fputs("two\n", f);
  std::fclose(f);
  EXPECT_EQ(text(d.sub("new.log")), "one\ntwo\n");

  // A link, to a file or to no file yet: neither followed nor made.
  d.write("victim", "precious\n");
  ASSERT_EQ(symlink(d.sub("victim").c_str(), d.sub("link.log").c_str()), 0);
  ASSERT_EQ(symlink(d.sub("planted").c_str(), d.sub("dangling.log").c_str()), 0);
  for (const char* name : {"link.log", "dangling.log"}) {
    EXPECT_EQ(open_log(d.sub(name), &said), nullptr) << name;
    EXPECT_EQ(said, refused(d.sub(name), "it is a symbolic link"));
  }
  EXPECT_EQ(text(d.sub("victim")), "precious\n");
  EXPECT_FALSE(std::filesystem::exists(d.sub("planted")));

  // A pipe (without waiting for a reader), a directory.
  ASSERT_EQ(mkfifo(d.sub("fifo").c_str(), 0600), 0);
  EXPECT_EQ(open_log(d.sub("fifo"), &said), nullptr);
  EXPECT_EQ(said, refused(d.sub("fifo"), "it is not a regular file"));
  EXPECT_EQ(open_log(d.str(), &said), nullptr);
  EXPECT_EQ(said, refused(d.str(), "Is a directory"));

  // Another user's file that this user may write: refused, kept whole.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file another owner";
  d.write("theirs.log", "their lines\n");
  chmod(d.sub("theirs.log").c_str(), 0666);
  ASSERT_EQ(chown(d.sub("theirs.log").c_str(), 65534, 65534), 0);
  passwd* pw = getpwuid(65534);
  EXPECT_EQ(open_log(d.sub("theirs.log"), &said), nullptr);
  EXPECT_EQ(said, refused(d.sub("theirs.log"), "it belongs to " + std::string(pw ? pw->pw_name : "65534") +
                                                   ", not to you"));
  EXPECT_EQ(text(d.sub("theirs.log")), "their lines\n");
  // A link in place of a directory on the way: followed when it is this
  // user's (or root's), not when another user put it there.
  ASSERT_EQ(mkdir(d.sub("home").c_str(), 0700), 0);
  d.write("home/own.log", "mine\n");
  ASSERT_EQ(symlink(d.sub("home").c_str(), d.sub("mylink").c_str()), 0);
  f = open_log(d.sub("mylink/own.log"), &said);
  ASSERT_NE(f, nullptr) << said;
  std::fclose(f);
  ASSERT_EQ(symlink(d.sub("home").c_str(), d.sub("theirlink").c_str()), 0);
  ASSERT_EQ(lchown(d.sub("theirlink").c_str(), 65534, 65534), 0);
  for (const char* name : {"theirlink/own.log", "theirlink/new.log"}) {
    EXPECT_EQ(open_log(d.sub(name), &said), nullptr) << name;
    EXPECT_EQ(said, refused(d.sub(name), "it leads through a symbolic link of " +
                                             std::string(pw ? pw->pw_name : "65534")));
  }
  EXPECT_EQ(text(d.sub("home/own.log")), "mine\n");
  EXPECT_FALSE(std::filesystem::exists(d.sub("home/new.log")));
}
