// The operating-system services: shell commands and the submit script,
// dynamically loaded functions, the clock, host facts, the memory-fault
// path, yielding to a network terminal.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files/fm.h"
#include "files/lafi.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "foundation/ut.h"
#include "support/quvo_run.h"
#include "support/syserr.h"

namespace {
// Sets an environment variable for one test and puts back the old value.
struct EnvSet {
  std::string name;
  bool had;
  std::string old;
  EnvSet(const char* n, const std::string& v) : name(n) {
    const char* o = std::getenv(n);
    had = o != nullptr;
    if (o) old = o;
    setenv(n, v.c_str(), 1);
  }
  ~EnvSet() {
    if (had) setenv(name.c_str(), old.c_str(), 1);
    else unsetenv(name.c_str());
  }
};

std::string read_file(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
}  // namespace

// --------------------------------------------------------------- spawn --
TEST(Spawn, StatusOfExitSignalAndStop) {
  int st = -1;
  EXPECT_TRUE(os_spawn("exit 3", &st));
  EXPECT_EQ(st, 3);
  EXPECT_TRUE(os_spawn("true", &st));
  EXPECT_EQ(st, 0);
  EXPECT_TRUE(os_spawn("kill -TERM $$", &st));
  EXPECT_EQ(st, 128 + SIGTERM);
  EXPECT_TRUE(os_spawn("kill -STOP $$", &st));
  EXPECT_EQ(st, 256 + SIGSTOP);
  // The stopped command was not left behind.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_TRUE(os_spawn("/no/such/command 2>/dev/null", &st));
  EXPECT_EQ(st, 127);
  // The command sees exactly its text, given by length.
  TempDir t;
  std::string cmd = "printf '%s' \"a b\" > " + t.sub("out") + "; exit 9 TRAILING";
  EXPECT_TRUE(os_spawn(std::string_view(cmd).substr(0, cmd.size() - 9), &st));
  EXPECT_EQ(st, 9);
  EXPECT_EQ(read_file(t.sub("out")), "a b");
}

TEST(Spawn, ArgvWordsReachTheProgramByteForByteAsTheRealUser) {
  TempDir t;
  chmod(t.str().c_str(), 0777);
  // The program records its arguments and effective user; it reads no text
  // as shell code.
  t.write("rec.sh", "#!/bin/sh\nfor a in \"$@\"; do printf '%s|' \"$a\"; done > \"$(dirname \"$0\")/args\"\n"
                    "exit 4\n");
  chmod(t.sub("rec.sh").c_str(), 0755);
  std::string odd = "a b 'q' \"d\"; touch " + t.sub("pwned") + " $(touch " + t.sub("pwned") + ") `id`";
  int st = -1;
  EXPECT_TRUE(os_spawn_argv(t.sub("rec.sh"), {"rec.sh", "-config=" + odd + ".cfg", odd, ""}, true, &st));
  EXPECT_EQ(st, 4);
  EXPECT_EQ(read_file(t.sub("args")), "-config=" + odd + ".cfg|" + odd + "||");
  EXPECT_FALSE(std::filesystem::exists(t.sub("pwned")));
  EXPECT_TRUE(os_spawn_argv(t.sub("none.sh"), {"none.sh"}, true, &st));
  EXPECT_EQ(st, 127);
  // An engine whose effective user is not the real one: the program runs as
  // the real user when asked, else as the effective one (touch, not a shell
  // script: the shell would drop the effective user by itself).
  // So with the group of a set-group-id engine.
  if (getuid() != 0) GTEST_SKIP() << "the identity switch needs a root test run";
  gid_t rgid = getgid();
  ASSERT_EQ(setegid(65534), 0);
  ASSERT_EQ(seteuid(65534), 0);
  bool ok_real = os_spawn_argv("/usr/bin/touch", {"touch", t.sub("real")}, true, &st);
  bool ok_eff = os_spawn_argv("/usr/bin/touch", {"touch", t.sub("eff")}, false, &st);
  ASSERT_EQ(seteuid(0), 0);
  ASSERT_EQ(setegid(rgid), 0);
  EXPECT_TRUE(ok_real && ok_eff);
  struct stat real{}, eff{};
  ASSERT_EQ(stat(t.sub("real").c_str(), &real), 0);
  ASSERT_EQ(stat(t.sub("eff").c_str(), &eff), 0);
  EXPECT_EQ(real.st_uid, 0u);
  EXPECT_EQ(real.st_gid, rgid);
  EXPECT_EQ(eff.st_uid, 65534u);
  EXPECT_EQ(eff.st_gid, 65534u);
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(getegid(), rgid);
}

TEST(Spawn, SubmitPassesEachArgumentAsOneQuotedWord) {
  TempDir data;
  data.write("submit.sh", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$(dirname \"$0\")/args\"\nexit 5\n");
  EnvSet q("QUVOPATH", data.str());
  EnvSet s("QUVO_BG_SCRIPT", "submit.sh");
  OsSubmit f;
  f.image = "IMG 1   ";
  f.mode = "b";
  f.notify = "it's $(touch pwned); `id` > x";
  f.date = "";
  f.priority = "5";
  f.queue = "night q";
  f.user = "ann";
  chmod(data.sub("submit.sh").c_str(), 0755);
  EXPECT_EQ(os_submit("SESS0001", f), 5);
  EXPECT_EQ(read_file(data.sub("args")),
            "-image=IMG 1\n-session=SESS0001\n-mode=b\n-notify=it's $(touch pwned); `id` > x\n-date=\n"
            "-priority=5\n-queue=night q\n-user=ann\n");
  EXPECT_FALSE(std::filesystem::exists(data.sub("pwned")));
  EXPECT_FALSE(std::filesystem::exists("pwned"));
}

TEST(Spawn, SubmitWithoutScriptIsASystemError) {
  unsetenv("QUVO_BG_SCRIPT");
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(os_submit("SESS0001", OsSubmit{}), -1);
  ASSERT_EQ(cap.count(), 1u);
  EXPECT_EQ(cap.last(), "os_submit() - QUVO_BG_SCRIPT is not set: no submit script");
}

// A submit script named in the group's data directory runs only when no one
// else can have put it there or changed it: one the group may write, a link
// planted under its name and a missing one are refused, and nothing runs.
TEST(Spawn, SubmitScriptOthersMayChangeIsRefused) {
  TempDir data;
  data.write("mine.sh", "touch \"$(dirname \"$0\")/ran\"\n");
  chmod(data.sub("mine.sh").c_str(), 0775);
  ASSERT_EQ(symlink(data.sub("mine.sh").c_str(), data.sub("link.sh").c_str()), 0);
  EnvSet q("QUVOPATH", data.str());
  struct Case {
    const char* script;
    const char* why;
  };
  for (Case c : {Case{"mine.sh", "may be changed by other users"}, Case{"link.sh", "is not a regular file"},
                 Case{"none.sh", "is missing"}}) {
    EnvSet s("QUVO_BG_SCRIPT", c.script);
    SysErrCapture cap(SysErrAnswer::Continue);
    EXPECT_EQ(os_submit("SESS0001", OsSubmit{}), -1) << c.script;
    ASSERT_EQ(cap.count(), 1u) << c.script;
    EXPECT_NE(cap.last().find(std::string(c.script) + " is refused"), std::string::npos) << cap.last();
    EXPECT_NE(cap.last().find(c.why), std::string::npos) << cap.last();
  }
  EXPECT_FALSE(std::filesystem::exists(data.sub("ran")));
  // Taken back by its owner, it runs.
  chmod(data.sub("mine.sh").c_str(), 0755);
  EnvSet s("QUVO_BG_SCRIPT", "mine.sh");
  EXPECT_EQ(os_submit("SESS0001", OsSubmit{}), 0);
  EXPECT_TRUE(std::filesystem::exists(data.sub("ran")));
}

// ------------------------------------------------- dynamic load and call --
namespace {
std::string lib_dir() {
  std::string l = QUVO_TESTDYN;
  return l.substr(0, l.rfind('/'));
}
// The test library's directory is one the data directory's owner names.
struct LibDirs {
  LibDirs(const std::string& d = lib_dir()) { ss_dyn_set_dirs(d.c_str()); }
  ~LibDirs() { ss_dyn_set_dirs(nullptr); }
};
}  // namespace

TEST(DynLoad, FindsFunctionsAndCallsThemWithTheirWords) {
  LibDirs dirs;
  const std::string lib = QUVO_TESTDYN;
  int before = ss_dyn_count();
  void* fn = nullptr;
  ASSERT_TRUE(ss_dyn_load(lib + ",qv_answer", &fn));
  ASSERT_NE(fn, nullptr);
  intptr_t none[] = {0};
  EXPECT_EQ(os_call(none, fn), 42);
  // Blanks around the names and the keep-loaded mark are not part of them.
  ASSERT_TRUE(ss_dyn_load("  " + lib + "% , qv_negative   ", &fn));
  EXPECT_EQ(os_call(none, fn), -7);
  EXPECT_EQ(ss_dyn_count(), before + 1);  // one library, loaded once

  ASSERT_TRUE(ss_dyn_load(lib + ",qv_length", &fn));
  const char* text = "seven 7";
  intptr_t one[] = {1, intptr_t(text)};
  EXPECT_EQ(os_call(one, fn), 7);

  ASSERT_TRUE(ss_dyn_load(lib + ",qv_weigh3", &fn));
  intptr_t three[] = {3, 100, 10, 1};
  EXPECT_EQ(os_call(three, fn), 100 + 20 + 3);

  ASSERT_TRUE(ss_dyn_load(lib + ",qv_weigh16", &fn));
  intptr_t sixteen[17] = {16};
  long want = 0;
  for (int i = 1; i <= 16; ++i) {
    sixteen[i] = i;
    want += long(i) * i;
  }
  EXPECT_EQ(os_call(sixteen, fn), want);

  // More than 16 words: refused, nothing called, no word dropped silently.
  intptr_t seventeen[18] = {17};
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(os_call(seventeen, fn), 0);
  ASSERT_EQ(cap.count(), 1u);
  EXPECT_EQ(cap.last(), "os_call() - 17 arguments: a function can be passed at most 16; nothing was called");

  ss_dyn_free(lib + "%,anything");
  EXPECT_EQ(ss_dyn_count(), before);
  ASSERT_TRUE(ss_dyn_load(lib + ",qv_answer", &fn));  // loads again
  EXPECT_EQ(os_call(none, fn), 42);
  ss_dyn_free(lib);
  EXPECT_EQ(ss_dyn_count(), before);
}

TEST(DynLoad, LibraryPathsStayInTheNamedDirectories) {
  const std::string lib = QUVO_TESTDYN;
  void* fn = nullptr;
  {
    LibDirs none("");  // no directory named: no path loads
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ss_dyn_load(lib + ",qv_answer", &fn));
    EXPECT_TRUE(testing::internal::GetCapturedStderr().find("names no library directory (QUVO_LIB_DIRS)") !=
                std::string::npos);
  }
  char tmpl[] = "/tmp/quvo-libdir-XXXXXX";
  std::string other = mkdtemp(tmpl);
  {
    // Another directory named; the library, or a link to it, reached through
    // '..' or a symbolic link from that directory, stays outside.
    LibDirs named(other + ":relative/dir");
    ASSERT_EQ(symlink(lib.c_str(), (other + "/link.so").c_str()), 0);
    for (std::string path : {lib, other + "/../../" + lib.substr(1), other + "/link.so"}) {
      testing::internal::CaptureStderr();
      EXPECT_FALSE(ss_dyn_load(path + ",qv_answer", &fn)) << path;
      EXPECT_TRUE(testing::internal::GetCapturedStderr().find("outside the library directories") != std::string::npos)
          << path;
    }
    EXPECT_EQ(ss_dyn_count(), 0);
  }
  {
    LibDirs named("/nowhere:" + lib_dir());
    ASSERT_TRUE(ss_dyn_load(lib + ",qv_answer", &fn));
    ss_dyn_free(lib);
  }
  std::filesystem::remove_all(other);
}

// What is loaded is what was checked: a link that flips between a library
// inside the named directory and a copy outside it, as fast as it can while
// the library is loaded again and again, never gets the copy loaded.
TEST(DynLoad, ALinkSwappedAfterTheCheckIsNotFollowed) {
  char tmpl_in[] = "/tmp/quvo-libin-XXXXXX", tmpl_out[] = "/tmp/quvo-libout-XXXXXX";
  std::string in = mkdtemp(tmpl_in), out = mkdtemp(tmpl_out);
  std::filesystem::copy_file(QUVO_TESTDYN, in + "/good.so");
  std::filesystem::copy_file(QUVO_TESTDYN, out + "/bad.so");
  struct stat bad;
  ASSERT_EQ(stat((out + "/bad.so").c_str(), &bad), 0);
  const std::string link = in + "/lib.so";
  ASSERT_EQ(symlink((in + "/good.so").c_str(), link.c_str()), 0);
  // The inode of the file mapped at an address.
  auto mapped_inode = [](const void* at) -> unsigned long {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
      unsigned long lo = 0, hi = 0, inode = 0;
      char perms[8], dev[16];
      unsigned long long offset;
      if (std::sscanf(line.c_str(), "%lx-%lx %7s %llx %15s %lu", &lo, &hi, perms, &offset, dev, &inode) == 6 &&
          uintptr_t(at) >= lo && uintptr_t(at) < hi)
        return inode;
    }
    return 0;
  };
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    std::string tmp = in + "/lib.tmp";
    for (bool good = false; !stop; good = !good) {
      unlink(tmp.c_str());
      if (symlink((good ? in + "/good.so" : out + "/bad.so").c_str(), tmp.c_str()) == 0) rename(tmp.c_str(), link.c_str());
    }
  });
  int loaded = 0, wrong = 0;
  {
    LibDirs dirs(in);
    testing::internal::CaptureStderr();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (loaded < 1000 && wrong == 0 && std::chrono::steady_clock::now() < end) {
      void* fn = nullptr;
      if (!ss_dyn_load(link + ",qv_answer", &fn)) continue;
      ++loaded;
      if (mapped_inode(fn) == bad.st_ino) ++wrong;
      ss_dyn_free(link);
    }
    testing::internal::GetCapturedStderr();
  }
  stop = true;
  flipper.join();
  EXPECT_EQ(wrong, 0) << "the library outside the named directory was loaded";
  EXPECT_GT(loaded, 0);
  std::filesystem::remove_all(in);
  std::filesystem::remove_all(out);
}

TEST(DynLoad, FailuresGiveFalseAndTheLogLine) {
  LibDirs dirs;
  void* fn = reinterpret_cast<void*>(1);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ss_dyn_load("/no/such/libx.so,f", &fn));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(fn, nullptr);
  EXPECT_EQ(err.rfind("dynamic load of /no/such/libx.so failed with ", 0), 0u) << err;

  testing::internal::CaptureStderr();
  EXPECT_FALSE(ss_dyn_load(std::string(QUVO_TESTDYN) + ",qv_nothing", &fn));
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("load of function qv_nothing failed with error ", 0), 0u) << err;
  ss_dyn_free(QUVO_TESTDYN);

  testing::internal::CaptureStderr();
  EXPECT_FALSE(ss_dyn_load("libm.so.6", &fn));  // no comma
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "dynamic load of libm.so.6 failed with no comma between library and function name\n");
}

// --------------------------------------------------------------- time --
TEST(Time, DayNumbersMatchTheCivilCalendar) {
  using namespace std::chrono;
  const sys_days day1 = year{1} / January / 1;
  for (sys_days d = day1; d <= sys_days{year{9999} / December / 31}; d += days{1}) {
    year_month_day ymd{d};
    int64_t n = (d - day1).count() + 1;
    ASSERT_EQ(os_days_from_civil(int(ymd.year()), int(unsigned(ymd.month())), int(unsigned(ymd.day()))), n);
    int y, m, dd;
    os_civil_from_days(n, &y, &m, &dd);
    ASSERT_EQ(y, int(ymd.year()));
    ASSERT_EQ(m, int(unsigned(ymd.month())));
    ASSERT_EQ(dd, int(unsigned(ymd.day())));
  }
  EXPECT_EQ(os_days_from_civil(1970, 1, 1), int64_t(kDayOf1970));
}

TEST(Time, FakeTimeStartsTheClockAtALocalMoment) {
  EnvSet f("QUVO_FAKE_TIME", "20240229123000");
  std::string err;
  ASSERT_TRUE(os_fake_time_load(&err));
  HostTime t;
  os_quvo_time(&t);
  EXPECT_EQ(int64_t(t.day), os_days_from_civil(2024, 2, 29));
  EXPECT_GE(t.hundredths, 4500000u);
  EXPECT_LT(t.hundredths, 4500000u + 500u);  // the clock runs on from there
  char b[16];
  LaText out{16, b};
  ss_host_time(&out, t);
  EXPECT_EQ(out.len, 16);
  EXPECT_EQ(std::string(b, 12), "202402291230");

  HostTime fixed;
  fixed.day = uint32_t(os_days_from_civil(1999, 12, 31));
  fixed.hundredths = 8639999;
  ss_host_time(&out, fixed);
  EXPECT_EQ(std::string(b, out.len), "1999123123595999");
  char small[8];
  LaText cut{8, small};
  ss_host_time(&cut, fixed);
  EXPECT_EQ(std::string(small, cut.len), "19991231");
}

TEST(Time, FakeTimeOffsetShiftsTheHostClock) {
  auto today = [] {
    time_t now = time(nullptr);
    tm t;
    localtime_r(&now, &t);
    return os_days_from_civil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  };
  std::string err;
  {
    EnvSet f("QUVO_FAKE_TIME", "+172800");
    ASSERT_TRUE(os_fake_time_load(&err));
    int64_t before = today();
    HostTime t;
    os_quvo_time(&t);
    EXPECT_TRUE(int64_t(t.day) == before + 2 || int64_t(t.day) == today() + 2);
  }
  {
    EnvSet f("QUVO_FAKE_TIME", "-86400");
    ASSERT_TRUE(os_fake_time_load(&err));
    int64_t before = today();
    HostTime t;
    os_quvo_time(&t);
    EXPECT_TRUE(int64_t(t.day) == before - 1 || int64_t(t.day) == today() - 1);
  }
  for (const char* bad : {"20240230120000", "2024022912000", "+1h", "86400", "20241301000000", "-"}) {
    EnvSet f("QUVO_FAKE_TIME", bad);
    EXPECT_FALSE(os_fake_time_load(&err)) << bad;
    EXPECT_NE(err.find(bad), std::string::npos) << err;
  }
  unsetenv("QUVO_FAKE_TIME");
  ASSERT_TRUE(os_fake_time_load(&err));
  HostTime t;
  os_quvo_time(&t);
  EXPECT_LE(std::abs(int64_t(t.day) - today()), 1);
}

// -------------------------------------------------------------- facts --
TEST(Facts, EngineAndHost) {
  EXPECT_EQ(os_info(11), std::to_string(getpid()));
  std::string path = os_info(10);
  EXPECT_EQ(path.substr(path.rfind('/') + 1), "test_foundation");
  EXPECT_FALSE(os_info(12).empty());
  EXPECT_EQ(os_info(13), "");
  SsHostInfo h;
  ss_host_info(&h);
  utsname u;
  uname(&u);
  EXPECT_EQ(h.type, "LINUX");
  EXPECT_TRUE(h.model.empty());
  EXPECT_EQ(h.name, u.nodename);
  EXPECT_FALSE(os_uid().empty());
  EXPECT_EQ(std::string(ss_session(), 8), "        ");
  ss_set_session("AB12");
  EXPECT_EQ(std::string(ss_session(), 8), "AB12    ");
  ss_set_session("");
}

// The path of a file identity, as the file manager places the file.
TEST(Facts, PathOfAFileIdentity) {
  char tmpl[] = "/tmp/quvo_bldpath_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const char* old = std::getenv("QUVOPATH");
  std::string saved = old ? old : "";
  setenv("QUVOPATH", dir.c_str(), 1);
  FmFdb fdb;
  la_msg_fdb(&fdb, FM_CLASS_DISK);
  LaText p = ss_bld_path(&fdb);
  ASSERT_GT(p.len, dir.size());
  std::string path(p.text, p.len);
  EXPECT_EQ(path.rfind(dir + "/", 0), 0u) << path;
  // The file manager creates the file there.
  ASSERT_EQ(FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR | FM_OPT_CREATE, 0, 0), 1) << fdb.status.get();
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  FM_CLOSE(fdb.handle.get(), 0);
  // No data directory: no path, and the status says why.
  unsetenv("QUVOPATH");
  la_msg_fdb(&fdb, FM_CLASS_DISK);
  p = ss_bld_path(&fdb);
  EXPECT_EQ(p.len, 0);
  EXPECT_EQ(fdb.status.get(), 200650u);
  if (old) setenv("QUVOPATH", saved.c_str(), 1);
  std::filesystem::remove_all(dir);
}

// ------------------------------------------------------ memory faults --
namespace {
void fault_segv() {
  void* p = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(p) = 1;
}

struct FaultTest : ::testing::Test {
  void SetUp() override { ss_reset_sig_handler(); }
  void TearDown() override {
    signal(SIGSEGV, SIG_DFL);
    signal(SIGBUS, SIG_DFL);
    EXPECT_EQ(com.depth, 0);
  }
};
std::vector<std::string> g_seen;
}  // namespace

TEST_F(FaultTest, FaultEndsTheProcessScopeWithCode37) {
  g_seen.clear();
  MmPool outer = 0, inner = 0;
  int inner_code = -1;
  int code = mark(1, [&] {
    outer = mm_create_pool(nullptr, com.depth, 0);
    inner_code = mark(5, [&] {
      inner = mm_create_pool(nullptr, com.depth, 0);
      fault_segv();
      g_seen.push_back("after the fault");
    }, [](int d) { g_seen.push_back("cleanup " + std::to_string(d)); });
    g_seen.push_back("back in the process scope");
  }, [](int d) { g_seen.push_back("cleanup " + std::to_string(d)); });
  EXPECT_EQ(code, 37);
  EXPECT_EQ(inner_code, -1);  // the unwind passed the inner scope to the process scope
  EXPECT_EQ(g_seen, (std::vector<std::string>{"cleanup 2", "cleanup 1"}));
  EXPECT_EQ(mm_pool_scope(outer), -1);
  EXPECT_EQ(mm_pool_scope(inner), -1);
  EXPECT_EQ(ss_fault_signal(), SIGSEGV);
  EXPECT_FALSE(ss_fault_ready());

  // Ready again once reset: the next fault is recovered the same way.
  ss_reset_sig_handler();
  EXPECT_EQ(mark(1, [] { fault_segv(); }), 37);
  ss_reset_sig_handler();
}

TEST_F(FaultTest, UnrecoverableFaultsEndTheEngine) {
  EXPECT_EXIT(
      {
        mark(1, [] { fault_segv(); });
        mark(1, [] { fault_segv(); });  // not reset in between
      },
      ::testing::ExitedWithCode(37), "a second fault before the engine recovered from the first");
  EXPECT_EXIT(fault_segv(), ::testing::ExitedWithCode(37), "outside any recovery scope");
  EXPECT_EXIT(mark(1, [] { kill(getpid(), SIGSEGV); }), ::testing::ExitedWithCode(37),
              "signal sent by another process");
}

TEST_F(FaultTest, ReportIsASystemError) {
  mark(1, [] { fault_segv(); });
  SysErrCapture cap(SysErrAnswer::Cancel);
  os_report_fault();  // CANCEL ends only the report
  ASSERT_EQ(cap.count(), 1u);
  EXPECT_EQ(cap.log().back().module, "OS");
  EXPECT_EQ(cap.last().rfind("memory fault: SIGSEGV (signal 11) at address ", 0), 0u) << cap.last();
  ss_reset_sig_handler();
}

// ---------------------------------------------------- network terminal --
TEST(Yield, PingsTheNetworkClientAndEndsWhenItIsGone) {
  EXPECT_EQ(ss_yield(), 1);  // no network terminal
  ss_set_ping([] { return true; });
  com.net_socket = 5;
  EXPECT_EQ(ss_yield(), 1);
  ss_set_ping([] { return false; });
  EXPECT_EXIT(ss_yield(), ::testing::ExitedWithCode(kExitNetGone), "client does not answer");
  com.net_socket = 0;
  ss_set_ping(nullptr);
}
