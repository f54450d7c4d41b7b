// The bootstrap as a user runs it (quvo -b): damaged inputs fail with a
// message naming the file and leave the data directory as it was; a killed
// run leaves it as it was or recognisably unfinished, and a rerun completes
// it; a bootstrapped directory is refused; QUVO_BOOT_AP adds a dictionary.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "dictionary/bs_support.h"
#include "foundation/bi.h"
#include "support/quvo_run.h"

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Inputs {
  std::string root = bst::temp_dir("bsin"), gen = bst::temp_dir("bsgen"), home = bst::temp_dir("bshome");
  std::vector<std::string> dirs;
  explicit Inputs(int records = 120) {
    EXPECT_TRUE(bst::make_inputs(root, gen, "0LA", bst::testfi_records(records)));
    for (const char* app : {"0AD", "0DB", "0SA"}) {
      std::string p = bs_input_path(root, app, FM_PT_DATA, "SUMMARY");
      std::filesystem::create_directories(std::filesystem::path(p).parent_path());
      bst::spit(p, "1\n");
    }
  }
  ~Inputs() {
    std::error_code ec;
    for (auto& d : dirs) std::filesystem::remove_all(d, ec);
    for (auto* d : {&root, &gen, &home}) std::filesystem::remove_all(*d, ec);
  }
  // A fresh data directory holding its environment file.
  std::string fresh() {
    dirs.push_back(bst::temp_dir("bsdata"));
    bst::spit(dirs.back() + "/quvo.env", "# site settings\n");
    return dirs.back();
  }
  QuvoRun boot(const std::string& target, const std::string& src, std::vector<std::string> more = {}) {
    std::vector<std::string> env{"QUVOPATH=" + target, "QUVO_BOOT_SRC=" + src, "QUVO_TEST_HOME=" + home};
    env.insert(env.end(), more.begin(), more.end());
    return run_quvo({"-b"}, env);
  }
};

// Leftover temporary directories of the bootstrap (inside the data
// directory) and anything it made beside it.
int leftovers(const std::string& target) {
  int n = 0;
  std::filesystem::path t(target);
  for (const auto& e : std::filesystem::directory_iterator(t))
    if (e.path().filename().string().rfind(".boot-", 0) == 0) ++n;
  std::string beside = "." + t.filename().string() + ".boot-";
  for (const auto& e : std::filesystem::directory_iterator(t.parent_path()))
    if (e.path().filename().string().rfind(beside, 0) == 0) ++n;
  return n;
}

std::string copy_tree(const std::string& from) {
  std::string to = bst::temp_dir("bscopy");
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::overwrite_existing);
  return to;
}

}  // namespace

TEST(BootstrapRun, BuildsOnceAndRefusesABootstrappedDirectory) {
  Inputs in;
  std::string a = in.fresh(), b = in.fresh();
  QuvoRun r = in.boot(a, in.root);
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  // One line per application, a summary, the next step; details in the log.
  EXPECT_TRUE(has(r.out, "bootstrap: 0LA    1 files     120 records\n")) << r.out;
  EXPECT_TRUE(has(r.out, "bootstrap: built the system applications: 1 files, 120 records, ")) << r.out;
  EXPECT_TRUE(has(r.out, "(details in " + a + "/bootstrap.log)\nnext: add an application of your own")) << r.out;
  EXPECT_FALSE(has(r.out, "TESTFI")) << r.out;
  EXPECT_TRUE(has(bst::slurp(a + "/bootstrap.log"), "messages: loaded into " + a));
  EXPECT_TRUE(has(bst::slurp(a + "/bootstrap.log"), in.root + "/port/dict/0LA00/TESTFI.\n"));
  EXPECT_TRUE(std::filesystem::exists(a + "/quvo.env"));
  EXPECT_EQ(leftovers(a), 0);
  // The same inputs give the same directory.
  ASSERT_EQ(in.boot(b, in.root).status, 0);
  auto ha = bst::dir_hashes(a);
  EXPECT_EQ(ha, bst::dir_hashes(b));
  // Once built, a directory is refused and left alone.
  r = in.boot(a, in.root);
  EXPECT_TRUE(ended(r, kExitBootFailed, {"already holds the system applications"}));
  EXPECT_EQ(bst::dir_hashes(a), ha);
}

TEST(BootstrapRun, DamagedInputsFailAndLeaveTheDirectoryAsItWas) {
  Inputs in(30);
  std::string clean_dir = in.fresh();
  ASSERT_EQ(in.boot(clean_dir, in.root).status, 0);
  const auto clean = bst::dir_hashes(clean_dir);
  const std::string sum_rel = "/data/dict/0LA00/SUMMARY", raw_rel = "/port/dict/0LA00/TESTFI";
  const std::string sum = bst::slurp(in.root + sum_rel), raw = bst::slurp(in.root + raw_rel);
  std::mt19937 rng(20261207);
  const char junk[] = {'#', 'Z', '\x01', '\xff', '-', 'x', ' ', '*'};
  int failed = 0;
  for (int i = 0; i < 36; ++i) {
    int kind = i % 6;
    std::string src = copy_tree(in.root);
    in.dirs.push_back(src);
    std::string s = sum, w = raw, damaged;
    if (kind == 0) {  // SUMMARY cut anywhere after its header
      s.resize(2 + rng() % (s.size() - 3));
      damaged = sum_rel;
    } else if (kind == 1) {  // a SUMMARY byte replaced
      s[rng() % s.size()] = junk[rng() % sizeof junk];
      damaged = sum_rel;
    } else if (kind == 2) {  // absurd counts in the FILE line
      const char* absurd[] = {"1 3 0 112 0 3 9", "1 3 0 112 0 3 90000", "1 3 0 99999 0 3 9", "1 3 0 112 0 250 9",
                              "1 3 0 112 0 3 -9", "1 3 0 112 7 3 9"};
      s.replace(s.find("1 3 0 112 0 3 9"), 15, absurd[1 + rng() % 5]);
      damaged = sum_rel;
    } else if (kind == 3) {  // raw file cut anywhere
      w.resize(rng() % (w.size() - 1));
      damaged = raw_rel;
    } else if (kind == 4) {  // a raw byte changed
      size_t at = rng() % w.size();
      w[at] = char(w[at] ^ (1 + rng() % 255));
      damaged = raw_rel;
    } else {  // an absurd record length
      size_t rec = kRawHead + (rng() % 30) * (kRawRecHead + bst::kTestfiLen + kRawTrail);
      uint32_t len = rng() % 2 ? 0x7FFFFFFFu : 40000u + rng() % 1000;
      for (int k = 0; k < 4; ++k) w[rec + 4 + size_t(k)] = char(len >> (24 - 8 * k));
      damaged = raw_rel;
    }
    bst::spit(src + sum_rel, s);
    bst::spit(src + raw_rel, w);
    std::string target = in.fresh();
    auto before = bst::dir_hashes(target);
    QuvoRun r = in.boot(target, src);
    SCOPED_TRACE("case " + std::to_string(i) + " kind " + std::to_string(kind) + ": " + r.err);
    if (r.status == 0) {
      // Damage the formats cannot see (a name's spelling, a flag bit that
      // nothing reads) must not change the result.
      EXPECT_EQ(bst::dir_hashes(target), clean);
    } else {
      ++failed;
      EXPECT_EQ(r.status, kExitBootFailed);
      EXPECT_TRUE(has(r.err, src + damaged)) << "the message names the file";
      EXPECT_EQ(bst::dir_hashes(target), before);
    }
    EXPECT_EQ(leftovers(target), 0);
  }
  EXPECT_GE(failed, 30);
}

TEST(BootstrapRun, AKilledRunIsCompletedByTheNext) {
  Inputs in;
  std::string clean_dir = in.fresh();
  ASSERT_EQ(in.boot(clean_dir, in.root).status, 0);
  const auto clean = bst::dir_hashes(clean_dir);
  // Killed while building: the directory is as it was.
  std::string a = in.fresh();
  auto before = bst::dir_hashes(a);
  QuvoRun r = in.boot(a, in.root, {"QUVO_TEST_BOOT_KILL=build"});
  EXPECT_EQ(r.status, 128 + 9);
  EXPECT_EQ(bst::dir_hashes(a), before);
  EXPECT_EQ(leftovers(a), 1);
  r = in.boot(a, in.root);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(leftovers(a), 0);
  EXPECT_EQ(bst::dir_hashes(a), clean);
  // Killed while moving in: marked unfinished; the next run builds it again.
  std::string b = in.fresh();
  r = in.boot(b, in.root, {"QUVO_TEST_BOOT_KILL=move"});
  EXPECT_EQ(r.status, 128 + 9);
  EXPECT_TRUE(std::filesystem::exists(b + "/.quvo-boot-unfinished"));
  r = in.boot(b, in.root);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "was left unfinished")) << r.out;
  EXPECT_FALSE(std::filesystem::exists(b + "/.quvo-boot-unfinished"));
  EXPECT_EQ(leftovers(b), 0);
  EXPECT_EQ(bst::dir_hashes(b), clean);
  // Killed once all is moved in, before the marker goes: the next run
  // removes the marker alone and says the directory was finished.
  std::string d = in.fresh();
  r = in.boot(d, in.root, {"QUVO_TEST_BOOT_KILL=moved"});
  EXPECT_EQ(r.status, 128 + 9);
  r = in.boot(d, in.root);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "was finished by a run cut short")) << r.out;
  EXPECT_FALSE(std::filesystem::exists(d + "/.quvo-boot-unfinished"));
  EXPECT_EQ(leftovers(d), 0);
  EXPECT_EQ(bst::dir_hashes(d), clean);
  // A move that fails part way: the next run undoes it and builds again.
  std::string e = in.fresh();
  r = in.boot(e, in.root, {"QUVO_TEST_BOOT_FAIL=move"});
  EXPECT_EQ(r.status, kExitBootFailed);
  EXPECT_TRUE(has(r.err, "was changed: run the same bootstrap again")) << r.err;
  r = in.boot(e, in.root);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "was left unfinished")) << r.out;
  EXPECT_EQ(leftovers(e), 0);
  EXPECT_EQ(bst::dir_hashes(e), clean);
}

TEST(BootstrapRun, BootApAddsOneApplicationsDictionary) {
  Inputs in;
  std::string a = in.fresh();
  ASSERT_EQ(in.boot(a, in.root).status, 0);
  // Inputs of a test application: the design SUMMARY lists its file.
  std::string app_root = bst::temp_dir("bsap"), app_gen = bst::temp_dir("bsapgen");
  in.dirs.push_back(app_root);
  in.dirs.push_back(app_gen);
  ASSERT_TRUE(bst::make_inputs(app_root, app_gen, "0AD", bst::testfi_records(5)));
  QuvoRun r = in.boot(a, app_root, {"QUVO_BOOT_AP=TST"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_TRUE(std::filesystem::exists(a + "/data/dict/TST00/TESTFI")) << r.out;
  EXPECT_EQ(leftovers(a), 0);
  // The ordinary open finds it through its SYSDIR entry.
  setenv("QUVOPATH", a.c_str(), 1);
  fms_init();
  FmFdb f = fm_fdb;
  INIT_SRC_PATH(&f, "TST", "00", "TESTFI  ", FM_PT_DATA);
  ASSERT_EQ(FM_OPEN(&f, com.depth, FM_OPT_NO_STRUCT, 1, 15), 1) << f.status.get();
  FM_CLOSE(f.handle.get(), 0);
  fm_shutdown();
  unsetenv("QUVOPATH");
  // Added again from the same inputs: replaced by the same dictionary.
  auto h = bst::dir_hashes(a);
  r = in.boot(a, app_root, {"QUVO_BOOT_AP=TST"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "bootstrap: replaced TST: ")) << r.out;
  EXPECT_EQ(bst::dir_hashes(a), h);
  EXPECT_EQ(leftovers(a), 0);
  // Not on a directory that was never bootstrapped.
  std::string b = in.fresh();
  EXPECT_EQ(in.boot(b, app_root, {"QUVO_BOOT_AP=TST"}).status, kExitBootFailed);
}

TEST(BootstrapRun, KilledAtAnyMomentARerunGivesTheSameDirectory) {
  Inputs in(400);
  std::string clean_dir = in.fresh();
  ASSERT_EQ(in.boot(clean_dir, in.root).status, 0);
  const auto clean = bst::dir_hashes(clean_dir);
  std::mt19937 rng(77);
  for (int i = 0; i < 8; ++i) {
    std::string target = in.fresh();
    auto before = bst::dir_hashes(target);
    pid_t pid = start_quvo({"-b"}, {"QUVOPATH=" + target, "QUVO_BOOT_SRC=" + in.root, "QUVO_TEST_HOME=" + in.home,
                                    "PATH=/usr/bin:/bin"});
    ASSERT_GT(pid, 0);
    usleep(useconds_t(rng() % 60000));
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    SCOPED_TRACE("kill " + std::to_string(i));
    bool finished = WIFEXITED(st) && WEXITSTATUS(st) == 0;
    auto now = bst::dir_hashes(target);
    // Either done (perhaps killed after its last step, before it could say
    // so), or as it was, or marked unfinished.
    bool done = finished || now == clean;
    EXPECT_TRUE(done || now == before || std::filesystem::exists(target + "/.quvo-boot-unfinished"));
    if (!done) {
      QuvoRun r = in.boot(target, in.root);
      ASSERT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(bst::dir_hashes(target), clean);
    EXPECT_EQ(leftovers(target), 0);
  }
}

namespace {
bool can_setpriv() { return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0; }
// A member of the data directory's group (uid 65534 in group kGroup).
constexpr int kGroup = 4242;
std::vector<std::string> as_member() {
  return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--groups=" + std::to_string(kGroup)};
}
int member_sh(const std::string& cmd) {
  std::string c;
  for (const std::string& a : as_member()) c += a + " ";
  return std::system((c + "/bin/sh -c '" + cmd + "' 2>/dev/null").c_str());
}
}  // namespace

// The data directory of the README's set-up, root's, in a parent of root's
// own group: the bootstrap builds inside it, so every entry takes its group
// and a member of the group reads the files; the data directory's settings
// file is taken (empty, root's, 0644), so no member puts one there.
TEST(BootstrapRun, EveryEntryTakesTheDataDirectorysGroupAndTheSettingsNameIsTaken) {
  if (!can_setpriv()) GTEST_SKIP() << "needs root and setpriv to act as a member of the group";
  Inputs in;
  std::string parent = bst::temp_dir("bsshared"), data = parent + "/data";
  in.dirs.push_back(parent);
  ASSERT_EQ(chmod(parent.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(data.c_str(), 0700), 0);
  ASSERT_EQ(chown(data.c_str(), 0, kGroup), 0);
  ASSERT_EQ(chmod(data.c_str(), 03770), 0);
  QuvoRun r = in.boot(data, in.root);
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  int entries = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(data)) {
    struct stat st;
    ASSERT_EQ(lstat(e.path().c_str(), &st), 0);
    EXPECT_EQ(int(st.st_gid), kGroup) << e.path();
    ++entries;
  }
  EXPECT_GT(entries, 10);
  r = run_quvo({"-fv", data + "/data/0LA00/TESTFI"}, {"QUVOPATH=" + data}, as_member());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  struct stat env;
  ASSERT_EQ(lstat((data + "/quvo.env").c_str(), &env), 0);
  EXPECT_TRUE(S_ISREG(env.st_mode));
  EXPECT_EQ(env.st_uid, 0u);
  EXPECT_EQ(env.st_mode & 07777, 0644u);
  EXPECT_EQ(env.st_size, 0);
  EXPECT_NE(member_sh("echo LD_PRELOAD=/tmp/x.so >> " + data + "/quvo.env"), 0);
  EXPECT_NE(member_sh("mv " + data + "/quvo.env " + data + "/old.env"), 0);
  EXPECT_EQ(bst::slurp(data + "/quvo.env"), "");
  // A member who adds an application where the name is free leaves it
  // free: a settings file of theirs would stop every user's engine.
  ASSERT_EQ(unlink((data + "/quvo.env").c_str()), 0);
  std::string app_root = bst::temp_dir("bsmemap"), app_gen = bst::temp_dir("bsmemgen");
  in.dirs.push_back(app_root);
  in.dirs.push_back(app_gen);
  ASSERT_TRUE(bst::make_inputs(app_root, app_gen, "0AD", bst::testfi_records(5)));
  std::filesystem::permissions(app_root, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  for (const auto& e : std::filesystem::recursive_directory_iterator(app_root))
    std::filesystem::permissions(e.path(), std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
  r = run_quvo({"-b"}, {"QUVOPATH=" + data, "QUVO_BOOT_SRC=" + app_root, "QUVO_BOOT_AP=TST"}, as_member());
  EXPECT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_TRUE(std::filesystem::exists(data + "/data/dict/TST00/TESTFI"));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(data + "/quvo.env")));
}

// A marker a member plants, or one that is damaged, removes nothing: an
// application is still added, a second bootstrap is refused, and the
// directory stays whole.
TEST(BootstrapRun, AMarkerNotOfThisRunRemovesNothing) {
  if (!can_setpriv()) GTEST_SKIP() << "needs root and setpriv to act as a member of the group";
  Inputs in;
  std::string parent = bst::temp_dir("bsmark"), data = parent + "/data";
  in.dirs.push_back(parent);
  ASSERT_EQ(chmod(parent.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(data.c_str(), 0700), 0);
  ASSERT_EQ(chown(data.c_str(), 0, kGroup), 0);
  ASSERT_EQ(chmod(data.c_str(), 03770), 0);
  ASSERT_EQ(in.boot(data, in.root).status, 0);
  // The saved modules' directories are the owner's, sticky: no member who
  // runs a process first owns them.
  for (const char* d : {"/mod", "/dbg", "/mod/0LA00", "/dbg/0SA00"}) {
    struct stat st;
    ASSERT_EQ(lstat((data + d).c_str(), &st), 0) << d;
    EXPECT_EQ(st.st_uid, 0u) << d;
    EXPECT_EQ(st.st_gid, gid_t(kGroup)) << d;
    EXPECT_EQ(st.st_mode & 07777, 03770u) << d;
  }
  const std::string marker = data + "/.quvo-boot-unfinished";
  // Planted by a member, naming what a bootstrap moves in.
  ASSERT_EQ(member_sh("printf \"" + data + "/.boot-1\\ndata\\nmod\\ndbg\\nkeymaps\\n\" > " + marker), 0);
  std::string app_root = bst::temp_dir("bsmarkap"), app_gen = bst::temp_dir("bsmarkgen");
  in.dirs.push_back(app_root);
  in.dirs.push_back(app_gen);
  ASSERT_TRUE(bst::make_inputs(app_root, app_gen, "0AD", bst::testfi_records(5)));
  QuvoRun r = in.boot(data, app_root, {"QUVO_BOOT_AP=TST"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, marker + " is left alone: it belongs to " + std::string(getpwuid(65534)->pw_name) +
                            ", not to root"))
      << r.err;
  auto hashes = [&] {
    auto h = bst::dir_hashes(data);
    h.erase(".quvo-boot-unfinished");
    return h;
  };
  auto whole = hashes();
  ASSERT_TRUE(whole.count("data/dict/TST00/TESTFI"));
  for (const char* d : {"/mod/TST00", "/dbg/TST00"}) {
    struct stat st;
    ASSERT_EQ(lstat((data + d).c_str(), &st), 0) << d;
    EXPECT_EQ(st.st_uid, 0u) << d;
    EXPECT_EQ(st.st_mode & 07777, 03770u) << d;
  }
  r = in.boot(data, in.root);
  EXPECT_TRUE(ended(r, kExitBootFailed, {"already holds the system applications", "nothing was removed"}));
  EXPECT_EQ(hashes(), whole);
  // Damaged markers of this user: a temporary directory that is not there
  // of a run that is gone, listing entries in place that are not its run's
  // (older than it), a name with a slash, a cut line; and a sound one of a
  // run still going (this test's process stands for it).
  for (const std::string& text : {std::string(".boot-9999999\ndata\nkeymaps\n"), std::string("garbage\n"),
                                  ".boot-" + std::to_string(getpid()) + "\n../etc\n", std::string(".boot-5\ndata"),
                                  ".boot-" + std::to_string(getpid()) + "\ndata\nkeymaps\n"}) {
    unlink(marker.c_str());
    bst::spit(marker, text);
    chmod(marker.c_str(), 0600);
    if (text.find(std::to_string(getpid())) != std::string::npos) mkdir((data + "/.boot-" + std::to_string(getpid())).c_str(), 0700);
    r = in.boot(data, in.root);
    EXPECT_TRUE(ended(r, kExitBootFailed, {"is left alone", "nothing was removed"})) << text;
    EXPECT_EQ(hashes(), whole) << text;
  }
  // A marker of a run that is gone whose entries are in place and changed
  // since it was written: one of them another user's, it is no run's that
  // finished; all of them this user's, it is one cut short before it said so.
  for (uid_t keymaps_owner : {uid_t(65534), uid_t(0)}) {
    unlink(marker.c_str());
    bst::spit(marker, ".boot-9999999\ndata\nkeymaps\n");
    chmod(marker.c_str(), 0600);
    ASSERT_EQ(lchown((data + "/data").c_str(), 0, kGroup), 0);
    ASSERT_EQ(lchown((data + "/keymaps").c_str(), keymaps_owner, kGroup), 0);
    r = in.boot(data, in.root);
    if (keymaps_owner != 0)
      EXPECT_TRUE(ended(r, kExitBootFailed, {"is left alone", "nothing was removed"})) << r.out;
    else
      EXPECT_TRUE(ended(r, 0) && has(r.out, "was finished by a run cut short")) << r.out;
    EXPECT_EQ(std::filesystem::exists(marker), keymaps_owner != 0);
  }
}

// A checksummed raw file cut exactly at a record boundary (after its header,
// after a record, after the last record: the end record missing) fails,
// names the file and leaves the directory as it was.
TEST(BootstrapRun, ARawFileCutAtARecordBoundaryFails) {
  Inputs in(30);
  const std::string raw_rel = "/port/dict/0LA00/TESTFI";
  const std::string raw = bst::slurp(in.root + raw_rel);
  const size_t rec = kRawRecHead + bst::kTestfiLen + kRawTrail;
  ASSERT_EQ(raw.size(), kRawHead + 30 * rec + kRawRecHead + kRawTrail);
  for (size_t records : {size_t(0), size_t(1), size_t(17), size_t(30)}) {
    std::string src = copy_tree(in.root);
    in.dirs.push_back(src);
    bst::spit(src + raw_rel, raw.substr(0, kRawHead + records * rec));
    std::string target = in.fresh();
    auto before = bst::dir_hashes(target);
    QuvoRun r = in.boot(target, src);
    EXPECT_TRUE(ended(r, kExitBootFailed,
                      {src + raw_rel + ": record " + std::to_string(records + 1) + ": the record header is cut short",
                       target + " is as it was"}))
        << records;
    EXPECT_EQ(bst::dir_hashes(target), before);
    EXPECT_EQ(leftovers(target), 0);
  }
}
