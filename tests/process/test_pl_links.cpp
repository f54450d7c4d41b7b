// Saved-module directories replaced by links: another member of the group
// (setpriv) takes the free name of a module directory with a link to a
// directory elsewhere (the engine's user's home, say). The engine neither
// loads a module from there, nor saves there, nor sweeps files there.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "files/unixio.h"
#include "process/pl_fixture.h"
#include "process/plint.h"

using namespace pltest;

namespace {

// Every name and size of a directory tree.
std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
    out.push_back(e.path().string() + " " + std::to_string(e.is_regular_file() ? e.file_size() : 0));
  std::sort(out.begin(), out.end());
  return out;
}

// The temporary-file name of an engine of a process id that no longer
// exists ('_' and seven base-36 digits).
std::string dead_temp_name() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  std::string n = "_0000000";
  unsigned long v = static_cast<unsigned long>(pid);
  for (int i = 7; i >= 1; --i, v /= 36) n[size_t(i)] = "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36];
  return n;
}

bool save_p1(Engine& e, const Desc& d) {
  descs()["P1"] = d;
  fx::Rec def = proc_rec("P1");
  Pcb* p = e.pcb("P1");
  bool ok = build_em(&rec::view<DProc>(def.data()), p, 1) && pl_put(p->module.get()) == 1;
  pl_release(p);
  Engine::free_pcb(p);
  return ok;
}

TEST(PlLinks, AModuleDirectoryReplacedByALinkIsNeitherLoadedNorSavedNorSwept) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users (setpriv)";
  if (::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv is not installed";
  const gid_t group = 43210;
  const uid_t member = 43211;
  const Desc kept{{7, 8, 9}, {70}, {}, false}, now{{1, 2, 3}, {10, 20}, {}, false};
  Engine e;
  descs().clear();
  e.start();
  e.dictionary();
  ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {proc_rec("P1")}), 1);
  ASSERT_EQ(::chown(e.dir.c_str(), 0, group), 0);
  ASSERT_EQ(::chmod(e.dir.c_str(), 03770), 0);
  // A module saved earlier, moved out to another user's directory with a
  // temporary file of an engine long gone beside it.
  ASSERT_TRUE(save_p1(e, kept));
  char tmpl[] = "/tmp/quvo-home-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string home = tmpl;
  for (const char* sub : {"mod", "dbg"}) {
    const std::string from = e.dir + "/" + sub + "/ABC00", to = home + "/" + sub;
    ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << from;
    std::ofstream(to + "/" + dead_temp_name()) << "an old temporary file";
    std::string cmd = "setpriv --reuid=" + std::to_string(member) + " --regid=" + std::to_string(group) +
                      " --clear-groups ln -s '" + to + "' '" + from + "'";
    ASSERT_EQ(::system(cmd.c_str()), 0) << cmd;
  }
  const std::vector<std::string> before = listing(home);
  e.stop(false);
  e.start(false);
  descs()["P1"] = now;
  compiles() = 0;
  Pcb* p = e.pcb("P1");
  ASSERT_EQ(pl_get(p, 1), 1);
  EXPECT_EQ(compiles(), 1);  // not loaded through the link
  EXPECT_EQ(Engine::run(p), expected(now));
  pl_release(p);
  Engine::free_pcb(p);
  pl_sweep_reset();
  EXPECT_FALSE(save_p1(e, now));  // a save of its own does not go there either
  EXPECT_EQ(listing(home), before);  // nothing saved there, nothing swept
  for (const char* sub : {"/mod/ABC00", "/dbg/ABC00"}) {
    struct stat st;
    ASSERT_EQ(::lstat((e.dir + sub).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << sub;
  }
  e.stop();
  descs().clear();
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
}

// Another member's file under a module's name, in the sticky directory:
// a member neither trusts it nor may replace it, so its engine compiles and
// saves under a name of its own, which it loads from then on; the other
// member's file stays as it was.
TEST(PlLinks, AMemberSavesUnderItsOwnNameWhereAnothersFileHoldsTheName) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  const gid_t group = 43210;
  const uid_t member = 43211, other = 43212;
  const Desc kept{{7, 8, 9}, {70}, {}, false}, now{{1, 2, 3}, {10, 20}, {}, false};
  Engine e;
  descs().clear();
  e.start();
  e.dictionary();
  ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {proc_rec("P1")}), 1);
  ASSERT_TRUE(save_p1(e, kept));
  std::error_code ec;
  for (const auto& f : std::filesystem::recursive_directory_iterator(e.dir, ec)) {
    ASSERT_EQ(::chown(f.path().c_str(), 0, group), 0);
    if (f.is_directory()) ASSERT_EQ(::chmod(f.path().c_str(), 03770), 0);
    else ASSERT_EQ(::chmod(f.path().c_str(), 0660), 0);
  }
  ASSERT_EQ(::chown(e.dir.c_str(), 0, group), 0);
  ASSERT_EQ(::chmod(e.dir.c_str(), 03770), 0);
  const std::string mods = e.dir + "/mod/ABC00";
  std::vector<std::string> names = listing(mods);
  ASSERT_EQ(names.size(), 1u);
  const std::string shared = names[0].substr(0, names[0].find(' '));
  ASSERT_EQ(::chown(shared.c_str(), other, group), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 0640), 0);
  struct stat before;
  ASSERT_EQ(::stat(shared.c_str(), &before), 0);
  descs()["P1"] = now;
  compiles() = 0;
  pid_t pid = fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setegid(group) != 0 || ::seteuid(member) != 0) _exit(10);
    auto get = [&](int want_compiles) {
      Pcb* p = e.pcb("P1");
      int bad = pl_get(p, 1) != 1 || compiles() != want_compiles || Engine::run(p) != expected(now);
      pl_release(p);
      Engine::free_pcb(p);
      pl_flush();  // the next get reads the saved file
      return bad;
    };
    if (get(1)) _exit(11);  // the other's file is not read: compiled
    if (get(1)) _exit(12);  // its own saved module is read
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  struct stat after;
  ASSERT_EQ(::stat(shared.c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, other);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  names = listing(mods);
  ASSERT_EQ(names.size(), 2u);
  int mine = 0;
  for (const std::string& n : names) {
    struct stat st;
    ASSERT_EQ(::stat(n.substr(0, n.find(' ')).c_str(), &st), 0);
    if (st.st_uid == member) {
      ++mine;
      EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
  }
  EXPECT_EQ(mine, 1);
  e.stop();
  descs().clear();
}

}  // namespace
