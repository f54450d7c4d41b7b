// Names below the data directory: no symbolic link is followed in any
// component and no name leads out of it, whether the kernel resolves them
// (openat2) or the walk does, one component at a time; the directories the
// engine makes are 3770 with the data directory's group; and what another
// member of the group can and cannot do to them; how writable maps read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "files/brf.h"
#include "files/brf_support.h"
#include "files/unixio.h"
#include "foundation/bi.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// QUVOPATH names a fresh data directory for the length of a test; another
// directory stands for a place outside it (another user's home).
class UioData {
 public:
  UioData() {
    const char* q = std::getenv("QUVOPATH");
    had_ = q != nullptr;
    if (q) old_ = q;
    ::setenv("QUVOPATH", data.path.c_str(), 1);
  }
  ~UioData() {
    if (had_) ::setenv("QUVOPATH", old_.c_str(), 1);
    else ::unsetenv("QUVOPATH");
    uio_set_resolve(UioResolve::Auto);
  }
  BrfTempDir data, home;

 private:
  bool had_ = false;
  std::string old_;
};

class UioBeneath : public ::testing::TestWithParam<UioResolve> {
 protected:
  void SetUp() override {
    bi_init_com();
    uio_set_resolve(GetParam());
    ASSERT_EQ(uio_mkdirs(d.data.file("data/real").c_str()), 0);
    ASSERT_EQ(::mkdir(d.home.file("sub").c_str(), 0700), 0);
    std::ofstream(d.home.file("sub/F")) << "precious";
    ASSERT_EQ(::symlink(d.home.file("sub").c_str(), d.data.file("data/LNK").c_str()), 0);
    ASSERT_EQ(::symlink(d.home.path.c_str(), d.data.file("TOP").c_str()), 0);
  }
  UioData d;
};

// Every service refuses a name with a link in a middle component (ELOOP)
// or a ".." (EXDEV), touches nothing at the link's target, and serves the
// same names without the link. Outside the data directory the system's
// resolution holds, but for the last component.
TEST_P(UioBeneath, NoLinkIsFollowedInAnyComponent) {
  if (GetParam() == UioResolve::Walk) {
    EXPECT_FALSE(uio_resolve_in_kernel());
  }
  const std::string via = d.data.file("data/LNK/F"), top = d.data.file("TOP/sub/F");
  const std::string real = d.data.file("data/real/F");
  for (const std::string& p : {via, top}) {
    errno = 0;
    EXPECT_EQ(uio_open(p.c_str(), O_RDONLY), -1) << p;
    EXPECT_EQ(errno, ELOOP) << p;
    struct stat st;
    EXPECT_EQ(uio_lstat(p.c_str(), &st), ELOOP) << p;
    EXPECT_EQ(uio_unlink(p.c_str()), ELOOP) << p;
  }
  errno = 0;
  EXPECT_EQ(uio_create(d.data.file("data/LNK/NEW").c_str()), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(uio_mkdir(d.data.file("data/LNK/D").c_str()), ELOOP);
  EXPECT_EQ(uio_mkdirs(d.data.file("data/LNK/D/E").c_str()), ELOOP);
  EXPECT_EQ(uio_mkdirs(d.data.file("data/LNK").c_str()), ELOOP);
  EXPECT_EQ(uio_opendir(d.data.file("data/LNK").c_str()), nullptr);
  EXPECT_EQ(uio_opendir(d.data.file("data/LNK/").c_str()), nullptr);
  int fd = uio_create(real.c_str());
  ASSERT_GE(fd, 0);
  uio_close(fd);
  EXPECT_EQ(uio_rename(via.c_str(), d.data.file("data/real/G").c_str()), ELOOP);
  EXPECT_EQ(uio_rename(real.c_str(), d.data.file("data/LNK/G").c_str()), ELOOP);
  EXPECT_EQ(uio_link(via.c_str(), d.data.file("data/real/H").c_str()), ELOOP);
  EXPECT_EQ(uio_link(real.c_str(), d.data.file("data/LNK/H").c_str()), ELOOP);
  // ".." never leads out (nor anywhere).
  for (const std::string& p : {d.data.file("data/../../" + d.home.path.substr(d.home.path.rfind('/') + 1) + "/sub/F"),
                               d.data.file("data/real/../real/F")}) {
    errno = 0;
    EXPECT_EQ(uio_open(p.c_str(), O_RDONLY), -1) << p;
    EXPECT_EQ(errno, EXDEV) << p;
  }
  EXPECT_EQ(slurp(d.home.file("sub/F")), "precious");
  for (const char* n : {"NEW", "D", "G", "H"}) EXPECT_FALSE(exists(d.home.file(std::string("sub/") + n))) << n;
  // The same services without the link.
  EXPECT_EQ(uio_rename(real.c_str(), d.data.file("data/real/G").c_str()), 0);
  EXPECT_EQ(uio_link(d.data.file("data/real/G").c_str(), real.c_str()), 0);
  fd = uio_open(d.data.file("./data//real/./G").c_str(), O_RDWR);
  EXPECT_GE(fd, 0);
  uio_close(fd);
  EXPECT_EQ(uio_unlink(d.data.file("data/real/G").c_str()), 0);
  DIR* dir = uio_opendir(d.data.file("data/real").c_str());
  EXPECT_NE(dir, nullptr);
  if (dir) ::closedir(dir);
  // Outside the data directory: a link on the way is the system's, the
  // last component never.
  ASSERT_EQ(::symlink(d.home.file("sub").c_str(), d.home.file("via").c_str()), 0);
  fd = uio_open(d.home.file("via/F").c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  uio_close(fd);
  errno = 0;
  EXPECT_EQ(uio_open(d.home.file("via").c_str(), O_RDONLY | O_DIRECTORY), -1);
  EXPECT_EQ(errno, ELOOP);
}

// A native file whose path has a link in a middle component is neither
// made through it nor opened, verified or scratched through it, though the
// file at the link's target is sound.
TEST_P(UioBeneath, ANativeFileIsNeverReachedThroughALink) {
  BrfFile* f = nullptr;
  ASSERT_EQ(brf_create(d.home.file("sub/N"), brf_test_layout(), false, &f), 0u) << brf_error();
  brf_close(f, false);
  EXPECT_NE(brf_create(d.data.file("data/LNK/M"), brf_test_layout(), false, &f), 0u);
  EXPECT_FALSE(exists(d.home.file("sub/M")));
  EXPECT_NE(brf_open(d.data.file("data/LNK/N"), false, &f), 0u);
  EXPECT_FALSE(brf_exists(d.data.file("data/LNK/N")));
  EXPECT_NE(brf_scratch(d.data.file("data/LNK/N")), 0u);
  EXPECT_TRUE(exists(d.home.file("sub/N")));
  ASSERT_EQ(brf_create(d.data.file("data/real/N"), brf_test_layout(), false, &f), 0u) << brf_error();
  brf_close(f, false);
}

INSTANTIATE_TEST_SUITE_P(Resolve, UioBeneath, ::testing::Values(UioResolve::Auto, UioResolve::Walk),
                         [](const auto& i) { return std::string(i.param == UioResolve::Auto ? "Auto" : "Walk"); });

// Directories are 3770 with the data directory's group, also below a
// directory of another group, whatever the umask; outside the data
// directory they take the group of the directory holding them.
TEST(UioDirs, DirectoriesAre3770WithTheDataDirectorysGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give directories groups";
  UioData d;
  const gid_t group = 43210, other = 43299;
  ASSERT_EQ(::chown(d.data.path.c_str(), 0, group), 0);
  ASSERT_EQ(::mkdir(d.data.file("x").c_str(), 0770), 0);
  ASSERT_EQ(::chown(d.data.file("x").c_str(), 0, other), 0);
  ASSERT_EQ(::chown(d.home.path.c_str(), 0, other), 0);
  for (mode_t mask : {mode_t(0), mode_t(077)}) {
    mode_t old = ::umask(mask);
    const std::string m = std::to_string(mask);
    EXPECT_EQ(uio_mkdirs(d.data.file("a" + m + "/b/c").c_str()), 0);
    EXPECT_EQ(uio_mkdir(d.data.file("x/y" + m).c_str()), 0);
    EXPECT_EQ(uio_mkdir(d.home.file("h" + m).c_str()), 0);
    int fd = uio_create(d.data.file("x/y" + m + "/f").c_str());
    EXPECT_GE(fd, 0);
    uio_close(fd);
    ::umask(old);
    for (const std::string& n : {"a" + m, "a" + m + "/b", "a" + m + "/b/c", "x/y" + m}) {
      struct stat st;
      ASSERT_EQ(::lstat(d.data.file(n).c_str(), &st), 0) << n;
      EXPECT_EQ(st.st_mode & 07777, 03770u) << n;
      EXPECT_EQ(st.st_gid, group) << n;
    }
    struct stat st;
    ASSERT_EQ(::lstat(d.data.file("x/y" + m + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, group);
    ASSERT_EQ(::lstat(d.home.file("h" + m).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 03770u);
    EXPECT_EQ(st.st_gid, other);
  }
}

// Another member of the group (setpriv) can neither replace nor remove an
// entry of the engine's directories it does not own; a link it plants under
// a free name leads the engine nowhere.
TEST(UioMembers, AMemberReplacesNothingAndItsLinksLeadNowhere) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users (setpriv)";
  if (::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv is not installed";
  UioData d;
  const gid_t group = 43210;
  const uid_t member = 43211;
  ASSERT_EQ(::chown(d.data.path.c_str(), 0, group), 0);
  ASSERT_EQ(::chmod(d.data.path.c_str(), 03770), 0);
  ASSERT_EQ(::chmod(d.home.path.c_str(), 0755), 0);
  ASSERT_EQ(uio_mkdirs(d.data.file("mod/0LA00").c_str()), 0);
  int fd = uio_create(d.data.file("mod/0LA00/MODULE").c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(uio_pwrite(fd, "genuine", 7, 0), 0);
  uio_close(fd);
  auto as_member = [&](const std::string& cmd) {
    std::string line = "cd '" + d.data.path + "' && setpriv --reuid=" + std::to_string(member) + " --regid=" +
                       std::to_string(group) + " --clear-groups sh -c '" + cmd + "' 2>/dev/null";
    return ::system(line.c_str()) == 0;
  };
  EXPECT_TRUE(as_member("echo forged > mod/0LA00/mine"));  // the group may write there
  EXPECT_FALSE(as_member("mv -f mod/0LA00/mine mod/0LA00/MODULE"));
  EXPECT_FALSE(as_member("rm -f mod/0LA00/MODULE"));
  EXPECT_FALSE(as_member("mv mod/0LA00 mod/old"));
  EXPECT_FALSE(as_member("rm -rf mod/0LA00"));
  EXPECT_EQ(slurp(d.data.file("mod/0LA00/MODULE")), "genuine");
  // A free name taken by a link to another user's directory.
  ASSERT_TRUE(as_member("ln -s " + d.home.path + " mod/0XY00"));
  EXPECT_EQ(uio_mkdirs(d.data.file("mod/0XY00").c_str()), ELOOP);
  EXPECT_EQ(uio_create(d.data.file("mod/0XY00/MODULE").c_str()), -1);
  EXPECT_EQ(uio_opendir(d.data.file("mod/0XY00").c_str()), nullptr);
  EXPECT_FALSE(exists(d.home.file("MODULE")));
}

}  // namespace

namespace {
// A hold table over shared words for this process, its live and wait marks
// in fd; the ids it holds kept here.
struct Holds {
  static constexpr uint64_t kLive = uint64_t(1) << 40, kWait = kLive + (uint64_t(1) << 32);
  std::set<uint32_t> held;
  bool marked = false;
  UioHoldTable t;
  Holds(uint64_t* words, uint32_t count, int fd) {
    t.words = words;
    t.count = count;
    t.fd = fd;
    t.live_base = kLive;
    t.wait_base = kWait;
    t.self = uint32_t(::getpid());
    t.marked = &marked;
    t.arg = this;
    t.mine = [](void* arg, uint32_t id) { return static_cast<Holds*>(arg)->held.count(id) != 0; };
  }
  Holds(const Holds&) = delete;
  int live() {
    int e = uio_word_live(t.fd, kLive, t.self);
    return e ? e : uio_hold_mark(t);
  }
  int hold(uint32_t id, int secs) {
    int e = uio_hold(t, id, secs, nullptr);
    if (!e) held.insert(id);
    return e;
  }
  void unhold(uint32_t id) {
    uio_unhold(t, id);
    held.erase(id);
  }
};

// Shared memory for a table and what its users tell each other.
template <class T>
T* shared() {
  void* p = ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : new (p) T{};
}
}  // namespace

// A bucket of a hold table holds kUioHoldBucket holds of one process, and
// the one past them is refused (ENOLCK) until one of them is let go; a hold
// let go is free again at once.
TEST(UioHolds, ABucketHoldsItsWordsAndRefusesOneMore) {
  BrfTempDir dir;
  int fd = uio_create(dir.file("marks").c_str());
  ASSERT_GE(fd, 0);
  std::vector<uint64_t> words(kUioHoldBucket, 0);
  Holds h(words.data(), kUioHoldBucket, fd);
  ASSERT_EQ(h.live(), 0);
  for (uint32_t id = 1; id <= kUioHoldBucket; ++id) ASSERT_EQ(h.hold(id, kUioNoWait), 0) << id;
  EXPECT_EQ(h.hold(kUioHoldBucket + 1, kUioNoWait), ENOLCK);
  h.unhold(7);
  EXPECT_EQ(h.hold(kUioHoldBucket + 1, kUioNoWait), 0);
  EXPECT_EQ(h.hold(0, kUioNoWait), EINVAL);
  uio_close(fd);
}

// Two processes that share a full bucket, each waiting for room in it: a
// deadlock, told to one of them within a few polls (its caller lets go, the
// other goes on), not waited out nor spun on. With one word free, none.
TEST(UioHolds, TwoWaitsForRoomInAFullBucketAreADeadlock) {
  BrfTempDir dir;
  int fd = uio_create(dir.file("marks").c_str());
  ASSERT_GE(fd, 0);
  struct Table {
    uint64_t words[kUioHoldBucket];
  };
  constexpr uint32_t kHalf = kUioHoldBucket / 2;
  auto cpu = [](const rusage& r) {
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
  };
  for (uint32_t others : {kHalf - 1, kHalf}) {
    SCOPED_TRACE(others);
    Table* tab = shared<Table>();
    ASSERT_NE(tab, nullptr);
    Holds me(tab->words, kUioHoldBucket, fd);
    ASSERT_EQ(me.live(), 0);
    for (uint32_t id = 1; id <= kHalf; ++id) ASSERT_EQ(me.hold(id, kUioNoWait), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t kid = ::fork();
    if (kid == 0) {
      Holds other(tab->words, kUioHoldBucket, fd);
      if (other.live()) _exit(2);
      for (uint32_t id = kHalf + 1; id <= kHalf + others; ++id)
        if (other.hold(id, kUioNoWait)) _exit(3);
      if (::write(ready[1], "r", 1) != 1) _exit(4);
      int e = other.hold(kUioHoldBucket + 1, kUioWaitForever);
      _exit(e == 0 ? 0 : e == EDEADLK ? 1 : 5);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::usleep(200000);  // the other asleep on its wait for room (or done)
    rusage mine0, mine1, theirs;
    ::getrusage(RUSAGE_SELF, &mine0);
    auto t0 = std::chrono::steady_clock::now();
    int e = me.hold(kUioHoldBucket + 2, 10);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::getrusage(RUSAGE_SELF, &mine1);
    for (uint32_t id : std::set<uint32_t>(me.held)) me.unhold(id);  // a caller told of a deadlock lets go
    int ws = 0;
    ASSERT_EQ(::wait4(kid, &ws, 0, &theirs), kid);
    ASSERT_TRUE(WIFEXITED(ws)) << ws;
    int code = WEXITSTATUS(ws);
    if (others < kHalf) {
      EXPECT_EQ(e, 0);
      EXPECT_EQ(code, 0);
    } else {
      EXPECT_TRUE((e == EDEADLK && code == 0) || (e == 0 && code == 1)) << e << " " << code;
      EXPECT_LT(secs, 5.0);
      EXPECT_LT(cpu(mine1) - cpu(mine0) + cpu(theirs), 1.0);
    }
    ::close(ready[0]);
    ::close(ready[1]);
    ::munmap(tab, sizeof *tab);
  }
  uio_close(fd);
}

// Many processes holding up to three of 40 ids that share one bucket (so
// that it is often full), killed at random moments and replaced: no id is
// ever held by two live processes at once (each holder marks the id as its
// own while it holds it and finds the mark still its own when it lets go),
// no wait lasts for ever (a dead process's words, a bucket full, claimers
// backing off), and every process left ends when asked.
TEST(UioHolds, ProcessesKilledAtRandomNeverShareAHoldAndNeverWaitForEver) {
  BrfTempDir dir;
  int fd = uio_create(dir.file("marks").c_str());
  ASSERT_GE(fd, 0);
  constexpr int kProcs = 12, kIds = 40, kKills = 60;
  struct Shared {
    uint64_t words[kUioHoldBucket];
    uint32_t occupant[kIds + 1];
    uint32_t shared, stuck, stop;
    uint64_t holds;
  };
  Shared* sh = shared<Shared>();
  ASSERT_NE(sh, nullptr);
  auto at = [](uint32_t& w) { return std::atomic_ref<uint32_t>(w); };
  auto child = [&](uint32_t seed) {
    Holds h(sh->words, kUioHoldBucket, fd);
    if (h.live()) _exit(2);
    // Words naming this id are left from a dead process of the same id.
    for (uint64_t& w : sh->words) {
      uint64_t v = std::atomic_ref<uint64_t>(w).load();
      if ((uint32_t(v >> 32) & 0x7FFFFFFFu) == h.t.self) std::atomic_ref<uint64_t>(w).compare_exchange_strong(v, 0);
    }
    std::mt19937 rng(seed);
    while (!at(sh->stop).load()) {
      std::set<uint32_t> want;
      for (int n = 1 + int(rng() % 3); int(want.size()) < n;) want.insert(1 + rng() % kIds);
      for (uint32_t id : want) {
        int e = h.hold(id, 20);
        if (e == ETIMEDOUT) at(sh->stuck).fetch_add(1);
        if (e) break;
        at(sh->occupant[id]).exchange(h.t.self);
      }
      std::atomic_ref<uint64_t>(sh->holds).fetch_add(1);
      if (rng() % 4 == 0) ::sched_yield();
      for (uint32_t id : std::set<uint32_t>(h.held)) {
        uint32_t me = h.t.self;
        if (!at(sh->occupant[id]).compare_exchange_strong(me, 0)) at(sh->shared).fetch_add(1);
        h.unhold(id);
      }
    }
    _exit(0);
  };
  std::vector<pid_t> kids;
  uint32_t seed = 1;
  auto spawn = [&] {
    pid_t pid = ::fork();
    if (pid == 0) child(seed);
    ++seed;
    return pid;
  };
  for (int i = 0; i < kProcs; ++i) kids.push_back(spawn());
  std::mt19937 rng(4711);
  for (int k = 0; k < kKills; ++k) {
    ::usleep(useconds_t(rng() % 40000));
    size_t i = rng() % kids.size();
    ::kill(kids[i], SIGKILL);
    ::waitpid(kids[i], nullptr, 0);
    kids[i] = spawn();
  }
  at(sh->stop).store(1);
  // Every process ends within the time a wait may last.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int ended = 0;
  for (pid_t pid : kids) {
    int ws = 0;
    pid_t r;
    while ((r = ::waitpid(pid, &ws, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) ::usleep(10000);
    if (r == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &ws, 0);
      continue;
    }
    ended += WIFEXITED(ws) && WEXITSTATUS(ws) == 0;
  }
  EXPECT_EQ(ended, kProcs);
  EXPECT_EQ(sh->shared, 0u) << "holds shared by two live processes";
  EXPECT_EQ(sh->stuck, 0u) << "waits of 20 s";
  EXPECT_GT(sh->holds, uint64_t(kKills));
  ::munmap(sh, sizeof *sh);
  uio_close(fd);
}

// A writable map brings pages in one at a time (no read-ahead: see uio_map);
// a read-only map keeps the read-ahead. The kernel shows the advice as the
// map's "rr" flag.
TEST(UioMaps, AWritableMapReadsNoPagesAhead) {
  BrfTempDir dir;
  int fd = uio_create(dir.file("f").c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(uio_grow(fd, 1 << 20), 0);
  auto flags_of = [](const void* at) {
    std::ifstream in("/proc/self/smaps");
    char start[32];
    std::snprintf(start, sizeof start, "%lx-", reinterpret_cast<unsigned long>(at));
    bool ours = false;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(start, 0) == 0) ours = true;
      else if (ours && line.rfind("VmFlags:", 0) == 0) return line + " ";
    }
    return std::string();
  };
  volatile sig_atomic_t cut = 0;
  uint8_t* w = uio_map(fd, 1 << 20, true, &cut);
  uint8_t* r = uio_map(fd, 1 << 20, false, &cut);
  ASSERT_TRUE(w && r);
  EXPECT_NE(flags_of(w).find(" rr "), std::string::npos) << flags_of(w);
  std::string rf = flags_of(r);
  EXPECT_FALSE(rf.empty());
  EXPECT_EQ(rf.find(" rr "), std::string::npos) << rf;
  uio_unmap(w, 1 << 20);
  uio_unmap(r, 1 << 20);
  uio_close(fd);
}

// A file cut short under its mapping: a touch past the new end reads zeros
// and marks the mapping cut, never a fault; mapped afresh, the file's bytes
// come back as it grows again. A fault outside every mapping still takes
// its course.
TEST(UioMap, ATouchPastAFileCutShortReadsZerosAndMarksTheMapping) {
  BrfTempDir dir;
  const long pg = sysconf(_SC_PAGESIZE);
  int fd = uio_create(dir.file("f").c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(uio_grow(fd, 3 * pg), 0);
  volatile sig_atomic_t cut = 0;
  uint8_t* m = uio_map(fd, 1 << 20, true, &cut);
  ASSERT_NE(m, nullptr);
  std::memset(m, 'a', 3 * pg);
  ASSERT_EQ(::ftruncate(fd, pg), 0);
  EXPECT_EQ(m[pg - 1], 'a');
  EXPECT_EQ(cut, 0);
  EXPECT_EQ(m[pg], 0);  // the first byte past the new end
  EXPECT_EQ(cut, 1);
  m[2 * pg + 5] = 'b';  // a store there reaches no file
  EXPECT_EQ(uio_size(fd), pg);
  ASSERT_EQ(uio_remap(m, fd, 1 << 20, true, &cut), 0);
  EXPECT_EQ(cut, 0);
  ASSERT_EQ(uio_grow(fd, 3 * pg), 0);
  char x = 'c';
  ASSERT_EQ(::pwrite(fd, &x, 1, 2 * pg + 5), 1);
  EXPECT_EQ(m[2 * pg + 5], 'c');
  EXPECT_EQ(m[pg - 1], 'a');
  EXPECT_EQ(cut, 0);
  uio_unmap(m, 1 << 20);
  // Unguarded (no longer mapped by uio_map): the fault goes where it went
  // before the guards, and ends the process.
  EXPECT_EXIT(
      {
        void* p = ::mmap(nullptr, size_t(4 * pg), PROT_READ, MAP_SHARED, fd, 0);
        if (::ftruncate(fd, 0) != 0) std::exit(9);
        std::printf("%d", static_cast<volatile uint8_t*>(p)[pg]);
      },
      [](int ws) { return WIFSIGNALED(ws); }, "");  // SIGBUS, or the sanitizer's abort
  uio_close(fd);
}

// A watched name: the epoch stays while nothing on its way changes and
// moves when a name is made in its directory, its file is written (watched
// with its bytes), or a directory on the way is renamed and put back; names
// beside the way leave it; a forked child that looks takes nothing from its
// parent's queue; a name outside the data directory is not watched.
TEST(UioWatch, TheEpochMovesWithTheNamesOnTheWay) {
  UioData d;
  ASSERT_EQ(uio_mkdirs(d.data.file("data/dict/A").c_str()), 0);
  const std::string f = d.data.file("data/dict/A/P");
  std::ofstream(f) << "one";
  EXPECT_FALSE(uio_watch(d.home.file("P"), false));
  if (!uio_watch(f, true)) {
    // The kernel's per-user limit of queues, shared with every process of
    // the user, may leave none (the callers then look names up).
    int probe = ::inotify_init1(IN_CLOEXEC);
    if (probe < 0) GTEST_SKIP() << "no inotify queue to be had: " << std::strerror(errno);
    ::close(probe);
    FAIL() << "not watched";
  }
  uint64_t e = uio_watch_epoch();
  auto moved = [&] {
    uint64_t now = uio_watch_epoch();
    bool m = now != e;
    e = now;
    return m;
  };
  std::ofstream(d.data.file("data/X")) << "x";
  ASSERT_EQ(::mkdir(d.data.file("data/dict/B").c_str(), 0770), 0);
  std::ofstream(d.data.file("data/dict/B/P")) << "p";
  EXPECT_FALSE(moved());
  std::ofstream(d.data.file("data/dict/A/Q")) << "q";
  EXPECT_TRUE(moved());
  std::ofstream(f, std::ios::app) << "two";
  EXPECT_TRUE(moved());
  EXPECT_FALSE(moved());
  ASSERT_EQ(::rename(d.data.file("data/dict").c_str(), d.data.file("data/d2").c_str()), 0);
  EXPECT_TRUE(moved());
  ASSERT_EQ(::rename(d.data.file("data/d2").c_str(), d.data.file("data/dict").c_str()), 0);
  EXPECT_TRUE(moved());
  std::ofstream(d.data.file("data/dict/A/R")) << "r";   // queued, not looked at yet
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    uio_watch_epoch();
    _exit(0);
  }
  int st = 0;
  ASSERT_EQ(::waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(moved());
  // Another file renamed over it while the one before stays open: asked
  // again, the name's new file is watched with its bytes.
  int before = ::open(f.c_str(), O_RDONLY);
  std::ofstream(f + ".new") << "new";
  ASSERT_EQ(::rename((f + ".new").c_str(), f.c_str()), 0);
  EXPECT_TRUE(moved());
  ASSERT_TRUE(uio_watch(f, true));
  e = uio_watch_epoch();
  std::ofstream(f, std::ios::app) << "more";
  EXPECT_TRUE(moved());
  ::close(before);

  // The kernel signals what it queues: looks with nothing queued read
  // nothing, and a name another process makes while this one makes no
  // system call of its own (a look and the clock are all it does) still
  // moves the epoch.
  moved();  // (the file put aside, closed, goes with its watch)
  // (A run started with SIGIO ignored reads at every look, as the child
  // below does.)
  struct sigaction io;
  ASSERT_EQ(::sigaction(SIGIO, nullptr, &io), 0);
  const bool told = io.sa_handler != SIG_IGN && io.sa_handler != SIG_DFL;
  uint64_t reads = uio_watch_reads();
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(moved());
  EXPECT_EQ(uio_watch_reads(), told ? reads : reads + 100);
  // Names made and removed while nobody looks signal once; the look after
  // them reads them all, and the next event signals again.
  uint64_t sigs = uio_watch_signals();
  for (int i = 0; i < 50; ++i) {
    std::string n = d.data.file("data/dict/A/N" + std::to_string(i));
    std::ofstream(n) << "n";
    ASSERT_EQ(::unlink(n.c_str()), 0);
  }
  EXPECT_EQ(uio_watch_signals(), sigs + (told ? 1 : 0));
  EXPECT_TRUE(moved());
  EXPECT_FALSE(moved());
  std::ofstream(d.data.file("data/dict/A/N")) << "n";
  EXPECT_EQ(uio_watch_signals(), sigs + (told ? 2 : 0));
  EXPECT_TRUE(moved());
  pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::usleep(20000);
    _exit(::mkdir(d.data.file("data/dict/A/S").c_str(), 0770) == 0 ? 0 : 1);
  }
  bool seen = false;
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       !seen && std::chrono::steady_clock::now() < until;)
    seen = moved();
  ASSERT_EQ(::waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_TRUE(seen || moved());
  EXPECT_TRUE(seen);
  // Where SIGIO is another's (here ignored), every look reads the queue.
  pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGIO, SIG_IGN);
    if (!uio_watch(f, true)) _exit(2);
    uint64_t r0 = uio_watch_reads(), e0 = uio_watch_epoch();
    if (uio_watch_epoch() != e0 || uio_watch_reads() != r0 + 2) _exit(3);
    std::ofstream(d.data.file("data/dict/A/T")) << "t";
    _exit(uio_watch_epoch() != e0 ? 0 : 4);
  }
  ASSERT_EQ(::waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

