// File statements end to end: the test application tests/language/fi-app
// (FIT, database FTD) generated and added to a bootstrapped data directory,
// its Subroutines run by the real engine as `quvo -a FIT -t Subroutine -p
// NAME`. A Subroutine ends with LOGOUT (exit status 127) only when every
// value it checks is the expected one, else with END PROC (0). Locks are
// held from this test process through the same file manager.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>
#include <thread>

#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "support/child_test.h"
#include "support/quvo_run.h"
#include "support/tmux.h"

namespace {

constexpr int kGood = 127;   // LOGOUT: every check held

class FiApp : public ::testing::Test {
 protected:
  static inline TempDir* dir = nullptr;
  static inline std::string var;

  // The test application, built once for the suite: "" or why it was not.
  // (Built from SetUp, so a failure fails each test rather than skipping it.)
  static std::string build() {
    dir = new TempDir;
    std::string boot = dir->sub("boot");
    var = dir->sub("var");
    std::filesystem::create_directories(var);
    std::string gen = std::string(QUVOGEN_BINARY) + " " + QUVO_DATA_APPS + " " + QUVO_TEST_DIR +
                      "/language/fi-app " + boot + " >" + dir->sub("gen.log") + " 2>&1";
    if (std::system(gen.c_str()) != 0) return "the generator failed: " + gen;
    std::vector<std::string> env{"QUVOPATH=" + var, "QUVO_BOOT_SRC=" + boot, "TERM=dumb"};
    QuvoRun b = run_quvo({"-b"}, env);
    if (b.status != 0) return "quvo -b: " + b.out + b.err;
    env.push_back("QUVO_BOOT_AP=FIT");
    b = run_quvo({"-b"}, env);
    if (b.status != 0) return "quvo -b of FIT: " + b.out + b.err;
    return "";
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }

  static std::vector<std::string> args(const char* proc) { return {"-d", "FTD", "-a", "FIT", "-t", "Subroutine", "-p", proc}; }
  static std::vector<std::string> env() { return {"QUVOPATH=" + var, "TERM=dumb"}; }
  static QuvoRun run(const char* proc) { return run_quvo(args(proc), env()); }
  static pid_t start(const char* proc) { return start_quvo(args(proc), env()); }
  static int wait_for(pid_t pid) {
    int st = 0;
    if (pid <= 0 || waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  // `quvo -fv` of the application's data: its exit status and report.
  static QuvoRun verify() { return run_quvo({"-fv", var + "/data/FTD"}, env()); }

  void SetUp() override {
    static const std::string built = build();
    ASSERT_EQ(built, "");
    QuvoRun r = run("SETUP");
    ASSERT_EQ(r.status, kGood) << r.err;
  }
};

// The file manager of this test process, on the application's data: a
// record of FITLOCK or FITACCT (key 0 a binary 4) held by a handle of its own.
class Holder {
 public:
  explicit Holder(const std::string& var) {
    setenv("QUVOPATH", var.c_str(), 1);
    bi_init_com();
    fms_init();
  }
  ~Holder() { fm_shutdown(); }
  // Holds record `no` of `file` (record length `len`): the read's status.
  uint32_t hold(const char* file, int len, uint32_t no, bool keep = true) {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, len, 0, nullptr, 0);
    INIT_DB_PATH(&f, "FTD", "FIT", "00", file, FM_PT_DATA);
    f.stamp[0] = 0xFFFFFFFFu;
    f.stamp[1] = 0xFFFFFFFFu;
    if (!FM_OPEN(&f, 0, FM_OPT_NO_STRUCT, 15, 15)) return f.status;
    a_ = f.handle.get();
    buf_ = static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(nullptr, 0, 0), size_t(len)));
    std::memset(buf_, 0, size_t(len));
    std::memcpy(buf_, &no, 4);
    PROTO_FULL(a_, 0, buf_);
    a_->op = FM_OP_HOLD | FM_OP_EQUAL;
    a_->lock_wait = 0;
    int got = fm_read(a_);
    a_->op = 0;
    uint32_t st = got ? 0 : uint32_t(a_->status);
    if (!keep || !got) close();
    return st;
  }
  void release() {
    if (a_) fm_release(a_);
  }
  void close() {
    if (a_) FM_CLOSE(a_, 0);
    a_ = nullptr;
  }

 private:
  FmArb* a_ = nullptr;
  uint8_t* buf_ = nullptr;
};

constexpr int kAcctLen = 4 + 12 + 8 + 20, kLockLen = 4 + 8;

// The ATRIBUTE file of FIT in FTD, made and read by this test process
// through the file manager: every record as {kind, object, property} ->
// value, trimmed.
class PropFile {
 public:
  using Key = std::tuple<std::string, std::string, std::string>;
  explicit PropFile(const std::string& var) : hold_(var) {}
  // A new, empty file.
  bool make() {
    with([](FmFdb* f) { return FM_SCRATCH(f, FM_OPT_NO_SYSDIR); });
    return with([](FmFdb* f) { return FM_CREATE(f, 0, 0, FM_OPT_NO_SYSDIR, 15, 15); });
  }
  // Writes one property of a FITACCT record.
  bool put(uint32_t no, const char* prop, const char* value) {
    return with([&](FmFdb* f) {
      if (!FM_OPEN(f, 0, FM_OPT_NO_SYSDIR, 15, 15)) return 0;
      auto& r = *static_cast<DAtribute*>(MM_ALLOC(mm_create_pool(nullptr, 0, 0), sizeof(DAtribute)));
      std::memset(static_cast<void*>(&r), ' ', sizeof r);
      r.kind.set("FITACCT");
      std::memcpy(r.object.data(), obj(no).data(), 128);
      r.prop.set(prop);
      r.value.set(value);
      PROTO_FULL(f->handle.get(), 0, reinterpret_cast<uint8_t*>(&r));
      return fm_write(f->handle.get());
    });
  }
  std::map<Key, std::string> all() {
    std::map<Key, std::string> out;
    with([&](FmFdb* f) {
      if (!FM_OPEN(f, 0, FM_OPT_NO_SYSDIR, 15, 15)) return 0;
      FmArb* a = f->handle.get();
      auto& r = *static_cast<DAtribute*>(MM_ALLOC(mm_create_pool(nullptr, 0, 0), sizeof(DAtribute)));
      PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(&r));
      a->op = FM_OP_FIRST;
      fm_start(a);
      a->op = 0;
      while (fm_rdnxt(a) == 1)
        out[{r.kind.str(), std::string(r.object.data(), 128), r.prop.str()}] = r.value.str();
      return 1;
    });
    return out;
  }
  // A 128-byte object name holding a binary 4 key.
  static std::string obj(uint32_t no) {
    std::string o(128, ' ');
    std::memcpy(o.data(), &no, 4);
    return o;
  }

 private:
  template <class F>
  bool with(F fn) {
    MmPool pool = mm_create_pool(nullptr, 0, 0);
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
    FmFdb f;
    INIT_DPROP_FDB(&f, kdb, sdb);
    f.app.set("FIT");
    f.ver.set("00");
    f.db.set("FTD");
    f.path_type = FM_PT_DATA;
    bool ok = fn(&f) != 0;
    if (ok && f.handle) FM_CLOSE(f.handle.get(), 0);
    mm_destroy_pool(pool);
    return ok;
  }
  Holder hold_;
};

// Eight engines at once, each 500 cycles of READ with hold and wait, +1,
// REWRITE over ten records: every record counts 400, none is lost or
// doubled, no engine deadlocks, and the file verifies sound with its ten
// records.
TEST_F(FiApp, EightEnginesCountEveryCycleOnce) {
  std::vector<pid_t> pids;
  for (int i = 0; i < 8; ++i) pids.push_back(start("BUMP"));
  for (pid_t p : pids) EXPECT_EQ(wait_for(p), kGood);
  QuvoRun c = run("CHECK");
  EXPECT_EQ(c.status, kGood) << c.err;
  QuvoRun v = verify();
  EXPECT_EQ(v.status, 0) << v.out << v.err;
  EXPECT_NE(v.out.find("FITACCT: sound (10 records"), std::string::npos) << v.out;
}

// Refusals land in the file status and the process goes on: OPEN and IF
// EXIST of a file no one made (200340), IF EXIST of a file the dictionary
// lacks (200180), READ of a key not on file (200450), WRITE of a duplicate
// key (200170), READNEXT past END AT (200360), BEG READ over a key range,
// error modes 1 and 2 counted, DELETE of the held record, a key not on
// file with a TIMEOUT label set (no lock: on to the next statement), a BEG
// READ loop whose end leaves the file status; the file then holds exactly
// its ten records.
TEST_F(FiApp, RefusalsLandInTheFileStatusAndLoseNothing) {
  QuvoRun r = run("STATUS");
  EXPECT_EQ(r.status, kGood) << r.err;
  QuvoRun v = verify();
  EXPECT_EQ(v.status, 0) << v.out << v.err;
  EXPECT_NE(v.out.find("FITACCT: sound (10 records"), std::string::npos) << v.out;
}

// A process that only scratches a file no one made starts (the file is
// not one it must open) and its SCRATCH succeeds.
TEST_F(FiApp, ScratchOfAFileNoOneMadeSucceeds) {
  QuvoRun r = run("SCRATCH");
  EXPECT_EQ(r.status, kGood) << r.err;
}

// A memory-resident file of the application: created in the process's
// own pool, written, one record deleted, the rest read by BEG READ.
TEST_F(FiApp, MemoryResidentFileOfTheApplication) {
  QuvoRun r = run("MEMORY");
  EXPECT_EQ(r.status, kGood) << r.err;
}

// A record-number file: three records written, the second read by its
// number (a binary field of the file's application in register 1); a
// 2-byte number past them, 258, finds no record.
TEST_F(FiApp, RecordNumberFileIsReadByItsNumber) {
  QuvoRun r = run("SEQ");
  EXPECT_EQ(r.status, kGood) << r.err;
}

// A BEG READ loop with hold rewrites each record it reads.
TEST_F(FiApp, ABegReadLoopWithHoldRewritesEachRecord) {
  QuvoRun r = run("LOOPRW");
  EXPECT_EQ(r.status, kGood) << r.err;
}

// BEG AT of a key of 255 bytes, the longest a key has: READNEXT finds the
// record there.
TEST_F(FiApp, BegAtTakesAKeyOfTheLongestLength) {
  QuvoRun r = run("WIDE");
  EXPECT_EQ(r.status, kGood) << r.err;
}

// Run-time errors end the event point with their numbers: READ, WRITE and
// READNEXT after CLOSE (the handle is cleared, 300300), a second REWRITE
// after one read with hold and a REWRITE after a WRITE, which lets the held
// record go (200580), END READ reached without its BEG READ (300380).
TEST_F(FiApp, RunTimeErrorsEndTheEventPoint) {
  EXPECT_TRUE(ended(run("CLOSED"), 255, {"run-time error 300300"}));
  EXPECT_TRUE(ended(run("NOHELD"), 255, {"run-time error 200580"}));
  EXPECT_TRUE(ended(run("NOLOOP"), 255, {"run-time error 300380"}));
  EXPECT_TRUE(ended(run("CLOSEDW"), 255, {"run-time error 300300"}));
  EXPECT_TRUE(ended(run("CLOSEDN"), 255, {"run-time error 300300"}));
  EXPECT_TRUE(ended(run("WRHELD"), 255, {"run-time error 200580"}));
}

// Each compile error of a file statement carries its number (a key value
// past 255 bytes is the verb's own, 101000).
TEST_F(FiApp, CompileErrorsCarryTheirNumbers) {
  EXPECT_TRUE(ended(run("CMPL ERR"), 4,
                    {"103000 Field is not a key of the file", "102450 File is not in the dictionary",
                     "101300 Error in END READ statement", "102260 Application is not available",
                     "101000 Error in BEG AT statement", "102740 Not allowed on a single-record file",
                     "102860 A single-record file has no key", "102590 Records can be deleted only from a keyed",
                     "102980 A record-number file has no key field", "102990 File must be keyed or read by record",
                     "103010 Record number must be numeric", "200180 Files of a system application cannot"}));
}

// Two engines: A holds record 1 and waits for a record this test holds.
// B's READ with hold option 1 is F with 200530 (also in error mode 1, with
// a warning), and takes the TIMEOUT label after the status; a BEG READ with
// hold meets record 1 held, goes to the TIMEOUT label and its loop goes on
// with the other nine; B's READ with wait gets the record once A rewrote
// it, with A's change in it.
TEST_F(FiApp, HoldsBetweenEngines) {
  Holder t(var);
  ASSERT_EQ(t.hold("FITLOCK", kLockLen, 1), 0u);
  pid_t a = start("HOLD A");
  // A holds record 1 of FITACCT once this process finds it locked.
  Holder probe(var);
  bool held = false;
  for (int i = 0; i < 500 && !held; ++i) {
    held = probe.hold("FITACCT", kAcctLen, 1, false) == FM_ST_LOCKED;
    if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(held);
  QuvoRun b = run("HOLD B");
  EXPECT_EQ(b.status, kGood) << b.err;
  pid_t w = start("WAIT B");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  t.release();
  EXPECT_EQ(wait_for(a), kGood);
  EXPECT_EQ(wait_for(w), kGood);
}

// A READ with wait under a TIMEOUT of one second while this process holds
// the record: 200660 after the second, and on at the TIMEOUT label.
TEST_F(FiApp, AWaitThatTimesOutTakesTheTimeoutLabel) {
  Holder t(var);
  ASSERT_EQ(t.hold("FITACCT", kAcctLen, 1), 0u);
  QuvoRun r = run("WAIT T");
  EXPECT_EQ(r.status, kGood) << r.err;
}

// Waits (a minute at most) until another process sleeps on a lock this
// process holds, as a wait for a record this process holds does.
bool waited_on() {
  std::string self = std::to_string(getpid());
  return poll_until([&] {
    // A waiter's line ("N: -> POSIX ...") follows its holder's.
    std::ifstream locks("/proc/locks");
    std::string line, holder;
    while (std::getline(locks, line)) {
      std::istringstream in(line);
      std::string no, word;
      in >> no >> word;
      if (word != "->") {
        in >> word >> word >> holder;
        continue;
      }
      if (holder == self) return Poll::Done;
    }
    return Poll::Wait;
  });
}

// READNEXT with hold that meets a record past END AT lets it go: while the
// engine waits for a record this process holds, record 3 of FITACCT, past
// END AT 2, is free to hold here.
TEST_F(FiApp, ARecordPastEndAtIsNotLeftHeld) {
  Holder t(var);
  ASSERT_EQ(t.hold("FITLOCK", kLockLen, 1), 0u);
  pid_t e = start("ENDAT HOLD");
  ASSERT_TRUE(waited_on());
  Holder probe(var);
  EXPECT_EQ(probe.hold("FITACCT", kAcctLen, 3, false), 0u);
  t.release();
  EXPECT_EQ(wait_for(e), kGood);
}

// A wait past 10 seconds names the holder on standard error, and goes on
// once the record is let go.
TEST_F(FiApp, LongWaitNamesTheHolder) {
  Holder t(var);
  ASSERT_EQ(t.hold("FITACCT", kAcctLen, 1), 0u);
  // Let go 11 seconds after the engine is seen waiting (its start may take
  // long).
  std::thread later([&] {
    EXPECT_TRUE(waited_on()) << "the engine did not wait for the record";
    std::this_thread::sleep_for(std::chrono::seconds(11));
    t.release();
  });
  QuvoRun w = run("WAIT B");
  later.join();
  EXPECT_NE(w.err.find("locked by"), std::string::npos) << w.err;
  EXPECT_NE(w.err.find(std::to_string(getpid())), std::string::npos) << w.err;
}

// Error mode 3 at a terminal: the failing READ shows its status and the
// file in a small window, and the key that leaves it cancels the process
// (it never reaches its LOGOUT).
TEST_F(FiApp, ErrorModeThreeShowsTheStatusAndCancels) {
  using tmuxrun::q;
  using tmuxrun::sh;
  std::string root = dir->sub("tmux"), rc = root + "/rc";
  std::filesystem::create_directories(root);
  std::string tmux = "env -u TMUX TMUX_TMPDIR=" + q(root) + " SHELL=/bin/sh tmux -L fi-" + std::to_string(getpid()) +
                     " -f /dev/null ";
  std::string cmd = "env -i PATH=/usr/bin:/bin HOME=" + q(root) + " TERM=xterm LANG=C.UTF-8 QUVOPATH=" + q(var) +
                    tmuxrun::sanitizer_env() + " " + q(QUVO_BINARY) + " -d FTD -a FIT -t Subroutine -p CANCEL 2>" +
                    q(root + "/err") + "; echo $? > " + q(rc) + "; sleep 30";
  sh(tmux + "new-session -d -x 80 -y 24 " + q(cmd) + " 2>&1");
  std::string screen;
  for (int i = 0; i < 500 && screen.find("FIT 00 FITACCT") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    screen = sh(tmux + "capture-pane -p 2>&1");
  }
  EXPECT_NE(screen.find("Record not found"), std::string::npos) << screen;
  sh(tmux + "send-keys Enter 2>&1");
  std::string out;
  for (int i = 0; i < 500 && (out.empty() || out.back() != '\n'); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    out = tmuxrun::slurp(rc);
  }
  sh(tmux + "kill-server 2>&1");
  EXPECT_EQ(out, "0\n") << tmuxrun::slurp(root + "/err");
}

}  // namespace

// The property statements on the engine: PROPS checks what it reads back
// itself (GETATTR after PUTATTR; after MOVEATTR the moved value under the
// new key; GETATTRS of what PUTATTRS stored); the file it leaves holds
// exactly what the statements must have left.
TEST_F(FiApp, PropertyStatementsKeepMoveAndDeleteProperties) {
  {
    PropFile p(var);
    ASSERT_TRUE(p.make());
  }
  QuvoRun r = run("PROPS");
  ASSERT_EQ(r.status, kGood) << r.out << r.err;
  PropFile p(var);
  auto got = p.all();
  const std::string acct = "FITACCT";
  // Object 1's properties moved to 3 (COLOUR deleted by its blank put, the
  // never-put BLANK not made, the missing GHOST's delete harmless); object
  // 2 kept B and lost NO to DELATTRS; 3 kept NO from PUTATTRS; the file
  // without a key keeps P under a blank object name.
  std::map<PropFile::Key, std::string> want{
      {{acct, PropFile::obj(3), "A"}, "7"},
      {{acct, PropFile::obj(3), "COPY"}, "7"},
      {{acct, PropFile::obj(3), "NO"}, "42"},
      {{acct, PropFile::obj(2), "B"}, "5"},
      {{"FITSEQ", std::string(128, ' '), "P"}, "9"},
  };
  ASSERT_EQ(got.size(), want.size());
  for (const auto& [k, v] : want) {
    auto it = got.find(k);
    ASSERT_NE(it, got.end()) << std::get<0>(k) << " " << std::get<2>(k);
    EXPECT_EQ(it->second.substr(it->second.find_first_not_of(' ')), v) << std::get<2>(k);
  }
}

// GETATTR of what another writer stored: a property never put gives a
// number field 0, a text reaches an alpha field; a text that is no number
// ends the event point with the conversion's message. The compile errors
// of the property statements carry their numbers.
TEST_F(FiApp, PropertyReadsConvertAndCompileErrorsCarryTheirNumbers) {
  {
    PropFile p(var);
    ASSERT_TRUE(p.make());
    ASSERT_TRUE(p.put(1, "GREETING", "HELLO"));
    ASSERT_TRUE(p.put(1, "WORD", "abc"));
  }
  EXPECT_TRUE(ended(run("PROP ERR"), 255, {"run-time error 100350"}));
  EXPECT_TRUE(ended(run("PROP CMPL"), 4,
                    {"102450 File is not in the dictionary", "102260 Application is not available",
                     "101910", "102080"}));
}

// PASS of a file: RUN gets the open file's path name as one argument; once
// the file is closed, "<invalid file>".
TEST_F(FiApp, APassedFileReachesRunAsItsPathName) {
  std::string here = dir->sub("pass"), cwd = std::filesystem::current_path().string();
  std::filesystem::create_directories(here);
  std::filesystem::current_path(here);
  QuvoRun r = run("PASS FILE");
  std::filesystem::current_path(cwd);
  ASSERT_EQ(r.status, kGood) << r.out << r.err;
  std::ifstream in(here + "/passed");
  std::string open_name, closed_name;
  std::getline(in, open_name);
  std::getline(in, closed_name);
  EXPECT_TRUE(std::filesystem::is_regular_file(open_name)) << open_name;
  EXPECT_NE(open_name.find(var), std::string::npos) << open_name;
  EXPECT_EQ(closed_name, "<invalid file>");
}

// RUN is false ("RUN FAILED", a warning in failure mode 1) only when no
// shell starts: an engine whose arguments and environment fill the room a
// program start has, all but a few hundred bytes, runs a short command, but
// no shell takes 60 words more; the engine goes on.
TEST_F(FiApp, RunIsFalseWhenNoShellStarts) {
  // With a 512 KiB stack the room is 128 KiB: strings, one pointer each and
  // one more.
  constexpr size_t kRoom = 128 * 1024;
  std::vector<std::string> a = args("NO SHELL"), e = quvo_env(env());
  size_t used = std::strlen(QUVO_BINARY) + 1 + 8 * (a.size() + 1 + e.size() + 1) + 8;
  used += std::strlen(QUVO_BINARY) + 1;
  for (const auto& s : a) used += s.size() + 1;
  for (const auto& s : e) used += s.size() + 1;
  std::vector<std::string> env_big = env();
  env_big.push_back("FILL=" + std::string(kRoom - 600 - used - 6 - 8, 'f'));
  QuvoRun r = run_quvo(a, env_big, {"/bin/sh", "-c", "ulimit -s 512 && exec \"$@\"", "sh"});
  EXPECT_EQ(r.status, kGood) << r.out << r.err;
}
