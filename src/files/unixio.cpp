#include "files/unixio.h"

#include <fcntl.h>
#include <sched.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <pthread.h>
#include <vector>

#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"

// ------------------------------------------------------------------ files --
namespace {
UioTrace g_trace = nullptr;
UioResolve g_resolve = UioResolve::Auto;
int g_kernel = -1;  // openat2: -1 not yet asked, 0 absent, 1 present

int traced(UioStep step, int fd, const char* path, const char* to) {
  return g_trace ? g_trace(step, fd, path, to) : 0;
}

// open() and openat() retried on EINTR; -1 with errno.
int open_retry(const char* path, int flags, int mode = 0) {
  for (;;) {
    int fd = ::open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}
int openat_retry(int dir, const char* name, int flags, int mode = 0) {
  for (;;) {
    int fd = ::openat(dir, name, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

long openat2_call(int dir, const char* name, uint64_t flags, uint64_t resolve) {
  struct open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = flags;
  how.resolve = resolve;
  return ::syscall(SYS_openat2, dir, name, &how, sizeof how);
}

bool kernel_resolves() {
  if (g_resolve == UioResolve::Walk) return false;
  if (g_kernel < 0) {
    long fd = openat2_call(AT_FDCWD, "/", O_PATH | O_CLOEXEC, RESOLVE_NO_SYMLINKS);
    g_kernel = fd >= 0 ? 1 : 0;
    if (fd >= 0) ::close(int(fd));
  }
  return g_kernel == 1;
}

// The components of a path made absolute (a relative one from the working
// directory), without empty and "." components; false when the working
// directory cannot be learnt.
bool components(const char* path, std::vector<std::string>* out) {
  std::string p = path;
  if (p.empty()) return false;
  if (p[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return false;
    p = std::string(cwd) + "/" + p;
  }
  out->clear();
  for (size_t i = 0; i < p.size();) {
    size_t e = p.find('/', i);
    if (e == std::string::npos) e = p.size();
    if (e > i && !(e - i == 1 && p[i] == '.')) out->push_back(p.substr(i, e - i));
    i = e + 1;
  }
  return true;
}

// Whether path names the data directory or a name below it; rel gets the
// components below it.
bool below_root(const char* path, std::vector<std::string>* rel) {
  const char* root = os_data_dir();
  std::vector<std::string> rc, pc;
  if (!*root || !components(root, &rc) || !components(path, &pc)) return false;
  if (pc.size() < rc.size() || !std::equal(rc.begin(), rc.end(), pc.begin())) return false;
  rel->assign(pc.begin() + std::ptrdiff_t(rc.size()), pc.end());
  return true;
}

bool is_link_at(int dir, const std::string& name) {
  struct stat st;
  return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Opens (O_PATH) the directory of the first n components of rel below the
// directory root, following no link; 0 or an errno value. root stays open.
int open_beneath(int root, const std::vector<std::string>& rel, size_t n, int* out) {
  for (size_t i = 0; i < n; ++i)
    if (rel[i] == "..") return EXDEV;
  if (kernel_resolves() && n > 0) {
    std::string joined;
    for (size_t i = 0; i < n; ++i) joined += (i ? "/" : "") + rel[i];
    for (int tries = 0;; ++tries) {
      long fd = openat2_call(root, joined.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC,
                             RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
      if (fd >= 0) {
        *out = int(fd);
        return 0;
      }
      // EAGAIN: a rename raced the lookup.
      if ((errno != EINTR && errno != EAGAIN) || tries > 100) return errno;
    }
  }
  int cur = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
  if (cur < 0) return errno;
  for (size_t i = 0; i < n; ++i) {
    int next = openat_retry(cur, rel[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      int e = errno;
      // A link opened with O_PATH|O_NOFOLLOW|O_DIRECTORY is "not a directory".
      if (e == ENOTDIR && is_link_at(cur, rel[i])) e = ELOOP;
      ::close(cur);
      return e;
    }
    ::close(cur);
    cur = next;
  }
  *out = cur;
  return 0;
}

// Group and mode of a directory this process just made.
void finish_dir(int fd, gid_t group, int* err) {
  struct stat st;
  if (group != gid_t(-1) && ::fstat(fd, &st) == 0 && st.st_gid != group && ::fchown(fd, uid_t(-1), group) != 0) {
    // Not a member of that group: it keeps the user's own.
  }
  if (::fchmod(fd, kUioDirMode) != 0 && err) *err = errno;
}

// A name, its entry and its target both resolved by uio_at; 0 or errno.
template <class Op>
int at_two(const char* from, const char* to, Op op) {
  UioAt a, b;
  if (int e = uio_at(from, &a)) return e;
  if (int e = uio_at(to, &b)) return e;
  return op(a, b) == 0 ? 0 : errno;
}
}  // namespace

UioAt::~UioAt() {
  if (dir >= 0) ::close(dir);
}

void uio_set_resolve(UioResolve how) { g_resolve = how; }
bool uio_resolve_in_kernel() { return kernel_resolves(); }

int uio_at(const char* path, UioAt* at) {
  if (at->dir >= 0) ::close(at->dir);
  at->dir = -1;
  at->leaf.clear();
  at->group = gid_t(-1);
  std::vector<std::string> rel;
  if (path && below_root(path, &rel) && !rel.empty()) {
    if (rel.back() == "..") return EXDEV;
    int root = open_retry(os_data_dir(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return errno;
    struct stat rs;
    int e = ::fstat(root, &rs) == 0 ? 0 : errno;
    if (!e) e = open_beneath(root, rel, rel.size() - 1, &at->dir);
    ::close(root);
    if (e) return e;
    at->leaf = rel.back();
    at->group = rs.st_gid;
    return 0;
  }
  // Elsewhere (or the data directory itself): its directory as the system
  // finds it.
  std::string p = path ? path : "";
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty() || p == "/") return EINVAL;
  size_t slash = p.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
  at->dir = open_retry(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (at->dir < 0) return errno;
  at->leaf = slash == std::string::npos ? p : p.substr(slash + 1);
  struct stat ds;
  if (::fstat(at->dir, &ds) == 0) at->group = ds.st_gid;
  return 0;
}

void uio_set_trace(UioTrace trace) { g_trace = trace; }

int uio_open(const char* path, int flags) {
  if (flags & (O_CREAT | O_TRUNC)) {
    errno = EINVAL;
    return -1;
  }
  UioAt at;
  if (int e = uio_at(path, &at)) {
    errno = e;
    return -1;
  }
  bool dir = flags & O_DIRECTORY;
  // O_NONBLOCK: opening a pipe planted under the name must not hang.
  int extra = O_CLOEXEC | O_NOFOLLOW | (dir ? 0 : O_NONBLOCK);
  int fd = openat_retry(at.dir, at.leaf.c_str(), flags | extra);
  if (fd < 0 && errno == ENOTDIR && dir) errno = is_link_at(at.dir, at.leaf) ? ELOOP : ENOTDIR;
  if (fd < 0 || dir) return fd;
  struct stat st;
  int e = ::fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
  if (e) {
    ::close(fd);
    errno = e;
    return -1;
  }
  if (!(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int uio_create(const char* path, int mode) {
  UioAt at;
  if (int e = uio_at(path, &at)) {
    errno = e;
    return -1;
  }
  int fd = openat_retry(at.dir, at.leaf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  // The umask takes bits away at the open: the mode is set again. The group
  // is the data directory's (a set-group-id directory gives it already).
  struct stat st;
  if (at.group != gid_t(-1) && ::fstat(fd, &st) == 0 && st.st_gid != at.group &&
      ::fchown(fd, uid_t(-1), at.group) != 0) {
    // Not a member of that group: it keeps the user's own.
  }
  if (::fchmod(fd, mode_t(mode)) != 0) {
    int e = errno;
    ::close(fd);
    ::unlinkat(at.dir, at.leaf.c_str(), 0);
    errno = e;
    return -1;
  }
  return fd;
}

int uio_mkdir(const char* path) {
  UioAt at;
  if (int e = uio_at(path, &at)) return e;
  if (::mkdirat(at.dir, at.leaf.c_str(), kUioDirMode) != 0) return errno;
  int fd = openat_retry(at.dir, at.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  int e = 0;
  finish_dir(fd, at.group, &e);
  ::close(fd);
  return e;
}

int uio_mkdirs(const char* dir) {
  std::vector<std::string> rel;
  if (!below_root(dir, &rel) || rel.empty()) {
    // Elsewhere: each missing directory from the top, as the system finds it.
    std::string p = dir;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    for (size_t i = 1; i <= p.size(); ++i) {
      if (i < p.size() && p[i] != '/') continue;
      std::string part = p.substr(0, i);
      if (part == "/") continue;
      if (int e = uio_mkdir(part.c_str()); e && e != EEXIST) return e;
    }
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  }
  for (const std::string& c : rel)
    if (c == "..") return EXDEV;
  int cur = open_retry(os_data_dir(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (cur < 0 && errno == ENOENT) {
    // A data directory not made yet is made as the system finds its name.
    if (int e = uio_mkdirs(os_data_dir())) return e;
    cur = open_retry(os_data_dir(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  if (cur < 0) return errno;
  struct stat rs;
  gid_t group = ::fstat(cur, &rs) == 0 ? rs.st_gid : gid_t(-1);
  // One component at a time, each made (when missing) and then opened
  // without following a link.
  for (const std::string& c : rel) {
    bool made = ::mkdirat(cur, c.c_str(), kUioDirMode) == 0;
    int e = made || errno == EEXIST ? 0 : errno;
    int next = e ? -1 : openat_retry(cur, c.c_str(), (made ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (!e && next < 0) e = errno == ENOTDIR && is_link_at(cur, c) ? ELOOP : errno;
    if (!e && made) finish_dir(next, group, &e);
    ::close(cur);
    if (e) {
      if (next >= 0) ::close(next);
      return e;
    }
    cur = next;
  }
  ::close(cur);
  return 0;
}

int uio_unlink(const char* path) {
  UioAt at;
  if (int e = uio_at(path, &at)) return e;
  return ::unlinkat(at.dir, at.leaf.c_str(), 0) == 0 ? 0 : errno;
}

int uio_lstat(const char* path, struct stat* st) {
  UioAt at;
  if (int e = uio_at(path, &at)) return e;
  return ::fstatat(at.dir, at.leaf.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

DIR* uio_opendir(const char* path) {
  int fd = uio_open(path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return nullptr;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    int e = errno;
    ::close(fd);
    errno = e;
  }
  return d;
}

void uio_close(int fd) {
  if (fd >= 0) ::close(fd);
}

ssize_t uio_pread(int fd, void* buf, size_t n, uint64_t off) {
  size_t done = 0;
  auto* p = static_cast<uint8_t*>(buf);
  while (done < n) {
    ssize_t r = ::pread(fd, p + done, n - done, off_t(off + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += size_t(r);
  }
  return ssize_t(done);
}

int uio_pwrite(int fd, const void* buf, size_t n, uint64_t off) {
  size_t done = 0;
  auto* p = static_cast<const uint8_t*>(buf);
  while (done < n) {
    ssize_t r = ::pwrite(fd, p + done, n - done, off_t(off + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (r == 0) return EIO;
    done += size_t(r);
  }
  return 0;
}

int64_t uio_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return int64_t(st.st_size);
}

int uio_grow(int fd, uint64_t size) {
  int64_t cur = uio_size(fd);
  if (cur < 0) return errno;
  if (uint64_t(cur) >= size) return 0;
  for (;;) {
    int r = ::posix_fallocate(fd, off_t(cur), off_t(size - uint64_t(cur)));
    if (r == EINTR) continue;
    if (r == EOPNOTSUPP || r == EINVAL) {
      // A file system without allocation: extend and write the new blocks.
      static const uint8_t zero[4096] = {};
      for (uint64_t o = uint64_t(cur); o < size; o += sizeof zero) {
        size_t n = size - o < sizeof zero ? size_t(size - o) : sizeof zero;
        if (int e = uio_pwrite(fd, zero, n, o)) return e;
      }
      return 0;
    }
    return r;
  }
}

int uio_reserve(int fd, uint64_t off, uint64_t len) {
  for (;;) {
    // (Not posix_fallocate: where the system cannot allocate, its stand-in
    // writes back bytes it read a moment before, over another's store.)
    if (::fallocate(fd, 0, off_t(off), off_t(len)) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EOPNOTSUPP || errno == ENOSYS) return uio_grow(fd, off + len);
    return errno;
  }
}

int uio_sync(int fd) {
  if (int e = traced(UioStep::Sync, fd, nullptr, nullptr)) return e;
  for (;;) {
    if (::fdatasync(fd) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

int uio_sync_dir(const std::string& path) {
  std::string dir = path.substr(0, path.find_last_of('/') + 1);
  if (dir.empty()) dir = ".";
  if (int e = traced(UioStep::SyncDir, -1, dir.c_str(), nullptr)) return e;
  int fd = uio_open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return errno;
  int e = 0;
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    e = errno;
    break;
  }
  uio_close(fd);
  return e;
}

int uio_rename(const char* from, const char* to) {
  if (int e = traced(UioStep::Rename, -1, from, to)) return e;
  return at_two(from, to, [](const UioAt& a, const UioAt& b) {
    return ::renameat(a.dir, a.leaf.c_str(), b.dir, b.leaf.c_str());
  });
}

int uio_link(const char* from, const char* to) {
  if (int e = traced(UioStep::Link, -1, from, to)) return e;
  return at_two(from, to, [](const UioAt& a, const UioAt& b) {
    return ::linkat(a.dir, a.leaf.c_str(), b.dir, b.leaf.c_str(), 0);
  });
}

namespace {
int g_sync_forced = -1;
int g_sync_env = -1;
}  // namespace

bool uio_sync_mode() {
  if (g_sync_forced >= 0) return g_sync_forced == 1;
  if (g_sync_env < 0) {
    const char* v = std::getenv("QUVO_FILE_SYNC");
    g_sync_env = (v && v[0] == '1') ? 1 : 0;
  }
  return g_sync_env == 1;
}

void uio_set_sync_mode(int mode) { g_sync_forced = mode; }

namespace {
void* map_at(void* at, int fd, uint64_t reserve, bool writable) {
  int prot = PROT_READ | (writable ? PROT_WRITE : 0);
  void* p = ::mmap(at, size_t(reserve), prot, MAP_SHARED | MAP_NORESERVE | (at ? MAP_FIXED : 0), fd, 0);
  if (p == MAP_FAILED) return nullptr;
  // A page a writable map brings into the page cache comes alone, not in a
  // block read ahead around it. The system keeps what it reads ahead as one
  // large unit, and the first store into a written-back unit dirties all of
  // it: the fault walks every block of the unit and the flush writes all of
  // it back, so that in files larger than what the system lets stay dirty,
  // stores at scattered places (a change) are flushed and dirtied again over
  // and over at many times their size. Read-only maps keep the read-ahead.
  if (writable) ::madvise(p, size_t(reserve), MADV_RANDOM);
  return p;
}
}  // namespace

uint8_t* uio_map(int fd, uint64_t reserve, bool writable, volatile sig_atomic_t* cut) {
  void* p = map_at(nullptr, fd, reserve, writable);
  if (p) ss_guard_map(p, reserve, writable, cut);
  return static_cast<uint8_t*>(p);
}

int uio_remap(uint8_t* base, int fd, uint64_t reserve, bool writable, volatile sig_atomic_t* cut) {
  if (!map_at(base, fd, reserve, writable)) return errno;
  *cut = 0;
  return 0;
}

void uio_unmap(void* base, uint64_t reserve) {
  if (!base) return;
  ss_unguard_map(base);
  ::munmap(base, size_t(reserve));
}

void uio_map_release(void* base, uint64_t len) {
  if (base && len) ::madvise(base, size_t(len), MADV_DONTNEED);
}

void uio_map_ahead(void* base, uint64_t len) {
#if defined(MADV_POPULATE_READ)
  if (base && len) ::madvise(base, size_t(len), MADV_POPULATE_READ);
#else
  (void)base, (void)len;
#endif
}

// ---------------------------------------------------------------- watches --
namespace {
constexpr uint32_t kNameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kByteEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;

struct Watches {
  int fd = -1;
  bool broken = false;   // no watches to be had in this process
  uint64_t epoch = 1;
  struct Wd {
    bool any = false;                // every event counts (the path's directory, a file)
    std::vector<std::string> names;  // else those naming one of these
  };
  std::map<int, Wd> wds;
  std::map<std::pair<std::string, bool>, bool> asked;  // (path, bytes) watched
};
Watches g_watch;
uint64_t g_watch_reads = 0;

// Set by SIGIO, which the kernel sends this process for an event it
// queues (its queue's owner, O_ASYNC on); cleared by a look before it reads
// the queue. A look that finds it clear has nothing to read and makes no
// system call: the look of every compile and every process invocation.
// The handler then turns the signals off (g_watch_sig_fd: the queue, or -1)
// until the next look turns them on before it reads: a process waiting at
// a menu is woken once, not for each name others make and remove meanwhile.
// Whenever the signals are off, the flag is set. Where the kernel does not
// signal (g_watch_sig_fd is -1), every look reads.
std::atomic<int> g_watch_io{1};
std::atomic<int> g_watch_sig_fd{-1};
std::atomic<uint64_t> g_watch_signals{0};
int g_watch_quiet = 0;  // the queue's file status flags without O_ASYNC
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free,
              "read and set in a signal handler");
void on_watch_io(int) {
  int saved = errno;
  g_watch_signals.fetch_add(1, std::memory_order_relaxed);
  g_watch_io.store(1, std::memory_order_seq_cst);
  int fd = g_watch_sig_fd.load(std::memory_order_seq_cst);
  if (fd >= 0) ::fcntl(fd, F_SETFL, g_watch_quiet);
  errno = saved;
}
// Closes the queue (the signal handler told first to leave it be).
void watch_close() {
  g_watch_sig_fd.store(-1, std::memory_order_seq_cst);
  ::close(g_watch.fd);
  g_watch.fd = -1;
}

// Has the kernel signal the queue's events (g_watch_sig_fd then the queue).
// Left as it is (every look reads) when SIGIO is another's to handle or
// ignored, or the queue refuses.
void watch_signal(int fd) {
  struct sigaction cur;
  if (::sigaction(SIGIO, nullptr, &cur) != 0) return;
  bool ours = !(cur.sa_flags & SA_SIGINFO) && cur.sa_handler == on_watch_io;
  if (!ours) {
    if ((cur.sa_flags & SA_SIGINFO) || cur.sa_handler != SIG_DFL) return;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_watch_io;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // a read or a lock wait goes on as if not signalled
    if (::sigaction(SIGIO, &sa, nullptr) != 0) return;
  }
  int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETOWN, ::getpid()) != 0) return;
  g_watch_quiet = fl & ~O_ASYNC;
  g_watch_sig_fd.store(fd, std::memory_order_seq_cst);
  if (::fcntl(fd, F_SETFL, fl | O_ASYNC) != 0) g_watch_sig_fd.store(-1, std::memory_order_seq_cst);
}

// A forked child shares the parent's queue: it never reads it (that would
// take the parent's events; their signals go to the parent), and watches
// anew if asked.
void watch_forget_in_child() {
  if (g_watch.fd >= 0) watch_close();  // (the flags are the parent's too: left as they are)
  g_watch.wds.clear();
  g_watch.asked.clear();
  ++g_watch.epoch;
}

bool watch_start() {
  if (g_watch.fd >= 0) return true;
  if (g_watch.broken) return false;
  static bool at_fork = ::pthread_atfork(nullptr, nullptr, watch_forget_in_child) == 0;
  g_watch.fd = at_fork ? ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1;
  if (g_watch.fd < 0) g_watch.broken = true;
  else watch_signal(g_watch.fd);
  g_watch_io.store(1, std::memory_order_seq_cst);  // (a new queue: its first look reads)
  return g_watch.fd >= 0;
}

// Adds a watch (the masks of one object add up); false when refused.
bool watch_add(const std::string& path, uint32_t mask, bool any, const std::string& name) {
  int wd = ::inotify_add_watch(g_watch.fd, path.c_str(), mask | IN_MASK_ADD);
  if (wd < 0) return false;
  Watches::Wd& w = g_watch.wds[wd];
  if (any) w.any = true;
  else if (std::find(w.names.begin(), w.names.end(), name) == w.names.end()) w.names.push_back(name);
  return true;
}
}  // namespace

bool uio_watch(const std::string& path, bool bytes) {
  if (!watch_start()) return false;
  auto key = std::make_pair(path, bytes);
  if (auto it = g_watch.asked.find(key); it != g_watch.asked.end()) {
    // A file's own watch stays with the file: one put in the name's place
    // since (the one before still open somewhere) is watched anew.
    if (!it->second || !bytes || watch_add(path, kByteEvents | IN_DONT_FOLLOW, true, "")) return it->second;
    g_watch.asked.erase(it);
    return false;
  }
  std::vector<std::string> rel;
  bool ok = below_root(path.c_str(), &rel) && !rel.empty() &&
            std::find(rel.begin(), rel.end(), "..") == rel.end();
  // From the data directory down to the path's directory: each watched for
  // the next name on the way; the path's directory for every name.
  // The data directory's own name is resolved as the system does; no other
  // name on the way is followed.
  std::string dir = os_data_dir();
  for (size_t i = 0; ok && i < rel.size(); ++i) {
    bool last = i + 1 == rel.size();
    ok = watch_add(dir, kNameEvents | IN_ONLYDIR | (i ? IN_DONT_FOLLOW : 0), last, rel[i]);
    dir += "/" + rel[i];
  }
  if (ok && bytes) ok = watch_add(path, kByteEvents | IN_DONT_FOLLOW, true, "");
  // A watch half made is no harm: it only bumps the epoch more often.
  g_watch.asked[key] = ok;
  return ok;
}

uint64_t uio_watch_epoch() {
  if (g_watch.fd < 0) return g_watch.epoch;
  if (g_watch_sig_fd.load(std::memory_order_relaxed) >= 0) {
    if (g_watch_io.load(std::memory_order_acquire) == 0) return g_watch.epoch;
    // Cleared, and the signals on, before the read: an event queued after
    // the read signals again.
    g_watch_io.store(0, std::memory_order_seq_cst);
    if (::fcntl(g_watch.fd, F_SETFL, g_watch_quiet | O_ASYNC) != 0) {
      g_watch_sig_fd.store(-1, std::memory_order_seq_cst);  // every look reads from now on
    }
  }
  ++g_watch_reads;
  alignas(inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = ::read(g_watch.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      // Nothing more can be told: every look from now on says "changed".
      watch_close();
      g_watch.broken = true;
      g_watch.wds.clear();
      g_watch.asked.clear();
      ++g_watch.epoch;
      break;
    }
    for (ssize_t off = 0; off < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      off += ssize_t(sizeof(inotify_event) + ev->len);
      if (ev->mask & IN_Q_OVERFLOW) {
        ++g_watch.epoch;
        continue;
      }
      auto it = g_watch.wds.find(ev->wd);
      if (it == g_watch.wds.end()) continue;
      // An event of the watched object itself, or of a name in it that counts.
      const std::vector<std::string>& names = it->second.names;
      if (!ev->len || it->second.any || std::find(names.begin(), names.end(), std::string(ev->name)) != names.end())
        ++g_watch.epoch;
      if (ev->mask & IN_IGNORED) {
        // The object is gone: its watch with it; paths through it are
        // watched again when asked.
        g_watch.wds.erase(it);
        g_watch.asked.clear();
      }
    }
  }
  return g_watch.epoch;
}

uint64_t uio_watch_reads() { return g_watch_reads; }
uint64_t uio_watch_signals() { return g_watch_signals.load(std::memory_order_relaxed); }

// ------------------------------------------------------------------ locks --
namespace {
UioReport g_report = nullptr;
int g_interval = kUioReportSeconds;
UioCancelCheck g_cancel = nullptr;
constexpr double kPollSecs = 0.25;  // how often a wait asks whether it is cancelled

volatile sig_atomic_t g_ticks = 0;
void on_lock_tick(int) { g_ticks = g_ticks + 1; }

volatile sig_atomic_t g_interrupted = 0;
void on_interrupt(int) { g_interrupted = 1; }

// For the length of a wait, an interrupt (^C) ends the wait instead of the
// process; a process that ignores interrupts (run in the background) keeps
// ignoring them.
struct InterruptCatch {
  struct sigaction old {};
  bool set = false;
  InterruptCatch() {
    g_interrupted = 0;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the interrupt must end the kernel's wait
    if (::sigaction(SIGINT, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) return;
    set = ::sigaction(SIGINT, &sa, nullptr) == 0;
  }
  ~InterruptCatch() {
    if (set) ::sigaction(SIGINT, &old, nullptr);
  }
  InterruptCatch(const InterruptCatch&) = delete;
  InterruptCatch& operator=(const InterruptCatch&) = delete;
};

// SIGTERM or SIGHUP (foundation/ssunix.h) ends a wait too: the engine ends.
bool cancelled() { return g_interrupted || ss_stop_signal() != 0 || (g_cancel && g_cancel()); }

// The wait timer of the calling thread, made again after a fork.
struct WaitTimer {
  timer_t id{};
  pid_t tid = 0;
};
thread_local WaitTimer t_timer;

bool timer_ready() {
  pid_t tid = pid_t(::syscall(SYS_gettid));
  if (t_timer.tid == tid) return true;
  static bool handler = false;
  if (!handler) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_lock_tick;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the tick must interrupt the wait
    if (::sigaction(uio_lock_signal(), &sa, nullptr) != 0) return false;
    handler = true;
  }
  struct sigevent sev;
  std::memset(&sev, 0, sizeof sev);
  sev.sigev_notify = SIGEV_THREAD_ID;
  sev.sigev_signo = uio_lock_signal();
  sev._sigev_un._tid = tid;
  timer_t id;
  if (::timer_create(CLOCK_MONOTONIC, &sev, &id) != 0) return false;
  // A timer of the parent process (after a fork) is not ours to delete.
  t_timer.id = id;
  t_timer.tid = tid;
  return true;
}

void arm(double first_secs) {
  struct itimerspec its;
  std::memset(&its, 0, sizeof its);
  if (first_secs < 0.001) first_secs = 0.001;
  its.it_value.tv_sec = time_t(first_secs);
  its.it_value.tv_nsec = long((first_secs - double(its.it_value.tv_sec)) * 1e9);
  // Ticks go on until disarmed, so that a tick that fell just before the
  // wait began cannot leave the wait unreported or uncancelled.
  its.it_interval.tv_nsec = long(kPollSecs * 1e9);
  ::timer_settime(t_timer.id, 0, &its, nullptr);
}

void disarm() {
  struct itimerspec its;
  std::memset(&its, 0, sizeof its);
  ::timer_settime(t_timer.id, 0, &its, nullptr);
}

double now_secs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int set_lock(int fd, uint64_t off, short type, int cmd) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = off_t(off);
  fl.l_len = 1;
  if (::fcntl(fd, cmd, &fl) == 0) return 0;
  int e = errno;
  return e == EACCES ? EAGAIN : e;
}

void report(const char* text) {
  if (g_report) {
    g_report(text);
    return;
  }
  if (la_show_msg_line(text)) return;
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
}
}  // namespace

int uio_lock_signal() { return SIGRTMIN + 2; }

int uio_lock(int fd, uint64_t off, UioLock kind, int wait_secs, const char* what) {
  short type = kind == UioLock::Read ? F_RDLCK : F_WRLCK;
  for (;;) {
    int e = set_lock(fd, off, type, F_SETLK);
    if (e != EINTR) {
      if (e != EAGAIN || wait_secs == kUioNoWait) return e;
      break;
    }
  }
  InterruptCatch interrupt;
  if (!timer_ready()) {
    // No timer: wait without reports rather than not at all.
    for (;;) {
      int e = set_lock(fd, off, type, F_SETLKW);
      if (e != EINTR) return e;
      if (cancelled()) return ECANCELED;
    }
  }
  double start = now_secs();
  double next_report = start + g_interval;
  double limit = wait_secs > 0 ? start + wait_secs : 0;
  for (;;) {
    if (cancelled()) return ECANCELED;
    double now = now_secs();
    double until = next_report;
    if (limit > 0 && limit < until) until = limit;
    if (until > now + kPollSecs) until = now + kPollSecs;
    arm(until - now);
    int e = set_lock(fd, off, type, F_SETLKW);
    disarm();
    if (e == 0) return 0;
    if (e != EINTR) return e;
    now = now_secs();
    if (limit > 0 && now >= limit) return ETIMEDOUT;
    if (now >= next_report) {
      pid_t holder = uio_lock_holder(fd, off, kind);
      char text[512];
      if (holder > 0)
        std::snprintf(text, sizeof text, "Waiting for %s, locked by %s", what ? what : "a lock",
                      uio_who(holder).c_str());
      else
        std::snprintf(text, sizeof text, "Waiting for %s", what ? what : "a lock");
      report(text);
      while (next_report <= now) next_report += g_interval;
    }
  }
}

int uio_unlock(int fd, uint64_t off) { return set_lock(fd, off, F_UNLCK, F_SETLK); }

pid_t uio_lock_holder(int fd, uint64_t off, UioLock kind) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = kind == UioLock::Read ? F_RDLCK : F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = off_t(off);
  fl.l_len = 1;
  if (::fcntl(fd, F_GETLK, &fl) != 0) return 0;
  if (fl.l_type == F_UNLCK) return 0;
  return fl.l_pid;
}

std::string uio_who(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
  std::string user = "?";
  if (FILE* f = std::fopen(path, "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      unsigned uid;
      if (std::sscanf(line, "Uid: %u", &uid) == 1) {
        struct passwd pw;
        struct passwd* res = nullptr;
        char buf[1024];
        if (::getpwuid_r(uid_t(uid), &pw, buf, sizeof buf, &res) == 0 && res)
          user = res->pw_name;
        else
          user = std::to_string(uid);
        break;
      }
    }
    std::fclose(f);
  }
  return "user " + user + " (process " + std::to_string(int(pid)) + ")";
}

// ------------------------------------------------------------ word locks --
namespace {
std::atomic_ref<uint32_t> word(uint32_t* w) { return std::atomic_ref<uint32_t>(*w); }

// Whether the process named by an owner word holds its live mark.
bool holder_alive(const UioWordLock& l, uint32_t owner) {
  return uio_lock_holder(l.fd, l.live_base + owner, UioLock::Write) > 0;
}

// Sleeps at most secs: on the owner word while it still reads `seen` when
// this process can count itself a waiter, else plainly.
void nap(const UioWordLock& l, uint32_t seen, double secs) {
  struct timespec ts;
  ts.tv_sec = time_t(secs);
  ts.tv_nsec = long((secs - double(ts.tv_sec)) * 1e9);
  if (!l.waiters) {
    ::nanosleep(&ts, nullptr);
    return;
  }
  word(l.waiters).fetch_add(1, std::memory_order_seq_cst);
  if (word(l.owner).load(std::memory_order_seq_cst) == seen)
    ::syscall(SYS_futex, l.owner, FUTEX_WAIT, seen, &ts, nullptr, 0);
  word(l.waiters).fetch_sub(1, std::memory_order_seq_cst);
}

// The clock of a wait for a word or a hold: started at the first call of
// tick, which says whether to go on (0), or that the wait was cancelled or
// ran out of time, and reports the holder every interval.
struct WaitClock {
  std::unique_ptr<InterruptCatch> interrupt;
  double next_report = 0, limit = 0;
  int tick(int wait_secs, const char* what, uint32_t holder, double* now) {
    if (!interrupt) {
      interrupt = std::make_unique<InterruptCatch>();
      double start = now_secs();
      next_report = start + g_interval;
      limit = wait_secs > 0 ? start + wait_secs : 0;
    }
    if (cancelled()) return ECANCELED;
    *now = now_secs();
    if (limit > 0 && *now >= limit) return ETIMEDOUT;
    if (*now >= next_report) {
      char text[512];
      std::snprintf(text, sizeof text, "Waiting for %s, locked by %s", what ? what : "a lock",
                    uio_who(pid_t(holder)).c_str());
      report(text);
      while (next_report <= *now) next_report += g_interval;
    }
    return 0;
  }
  // When to look again: after pause, at the next report or the limit.
  double until(double now, double pause) const {
    double u = std::min(next_report, now + pause);
    return limit > 0 && limit < u ? limit : u;
  }
};

// The wait of uio_word_lock (take) and uio_word_wait.
int word_wait(const UioWordLock& l, bool take, int wait_secs, const char* what) {
  WaitClock clock;
  double pause = 0.0002;  // a dead owner's mark may outlive it for a moment
  for (;;) {
    uint32_t cur = word(l.owner).load(std::memory_order_acquire);
    // Free, a stale word of this process's id (it holds no lock here), or
    // an owner that died.
    if (cur == 0 || cur == l.self || !holder_alive(l, cur)) {
      if (!take) return 0;
      if (word(l.owner).compare_exchange_strong(cur, l.self, std::memory_order_acq_rel)) return 0;
      continue;
    }
    if (wait_secs == kUioNoWait) return EAGAIN;
    double now = 0;
    if (int e = clock.tick(wait_secs, what, cur, &now)) return e;
    nap(l, cur, clock.until(now, pause) - now);
    pause = std::min(pause * 2, kPollSecs);
  }
}
}  // namespace

int uio_word_live(int fd, uint64_t live_base, uint32_t self) {
  return set_lock(fd, live_base + self, F_WRLCK, F_SETLK);
}

int uio_word_lock(const UioWordLock& l, int wait_secs, const char* what) {
  uint32_t expect = 0;
  if (word(l.owner).compare_exchange_strong(expect, l.self, std::memory_order_acq_rel)) return 0;
  return word_wait(l, true, wait_secs, what);
}

void uio_word_unlock(const UioWordLock& l) {
  uint32_t expect = l.self;
  // A word that no longer names this process was taken from it: not ours.
  if (!word(l.owner).compare_exchange_strong(expect, 0, std::memory_order_seq_cst)) return;
  if (word(l.waiters).load(std::memory_order_seq_cst) != 0)
    ::syscall(SYS_futex, l.owner, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

int uio_word_wait(const UioWordLock& l, const char* what) {
  return word_wait(l, false, kUioWaitForever, what);
}

bool uio_word_free(const UioWordLock& l) {
  uint32_t cur = word(l.owner).load(std::memory_order_acquire);
  return cur == 0 || !holder_alive(l, cur);
}

// ----------------------------------------------------------- hold tables --
namespace {
constexpr uint64_t kHoldWanted = uint64_t(1) << 63;

std::atomic_ref<uint64_t> hword(uint64_t* w) { return std::atomic_ref<uint64_t>(*w); }
uint32_t hold_id(uint64_t w) { return uint32_t(w); }
uint32_t hold_owner(uint64_t w) { return uint32_t(w >> 32) & 0x7FFFFFFFu; }
uint64_t hold_word(uint32_t id, uint32_t owner) { return uint64_t(owner & 0x7FFFFFFFu) << 32 | id; }

uint64_t* hold_bucket(const UioHoldTable& t, uint32_t id) {
  uint32_t n = t.count / kUioHoldBucket;
  uint32_t b = uint32_t((uint64_t(id) * 0x9E3779B97F4A7C15ull) >> 40) % n;
  return t.words + size_t(b) * kUioHoldBucket;
}

// Whether owner is another process that holds its live mark (a word naming
// this process is never another's hold).
bool hold_alive(const UioHoldTable& t, uint32_t owner) {
  return owner != 0 && owner != t.self && uio_lock_holder(t.fd, t.live_base + owner, UioLock::Write) > 0;
}

// The first word of the bucket from `from` and before `below` holding id for a live other
// process (its value in *seen), -1 for none. Words of id that hold nothing
// (a dead owner, this process: left from a dead process of its id) are
// cleared on the way.
int hold_find(const UioHoldTable& t, uint64_t* b, uint32_t id, uint32_t below, uint64_t* seen, uint32_t from = 0) {
  for (uint32_t i = from; i < below; ++i) {
    uint64_t w = hword(&b[i]).load(std::memory_order_seq_cst);
    if (w == 0 || hold_id(w) != id) continue;
    if (hold_alive(t, hold_owner(w))) {
      *seen = w;
      return int(i);
    }
    hword(&b[i]).compare_exchange_strong(w, 0, std::memory_order_seq_cst);
  }
  return -1;
}

// A free word of the bucket taken for id: an empty one, else one whose owner
// died. -1 when every word is another live process's hold.
int hold_claim(const UioHoldTable& t, uint64_t* b, uint32_t id) {
  uint64_t mine = hold_word(id, t.self);
  for (uint32_t i = 0; i < kUioHoldBucket; ++i) {
    uint64_t w = 0;
    if (hword(&b[i]).load(std::memory_order_relaxed) == 0 &&
        hword(&b[i]).compare_exchange_strong(w, mine, std::memory_order_seq_cst))
      return int(i);
  }
  for (uint32_t i = 0; i < kUioHoldBucket; ++i) {
    uint64_t w = hword(&b[i]).load(std::memory_order_seq_cst);
    uint32_t o = hold_owner(w);
    // A word out of its id's bucket is no hold of anyone's.
    bool free = hold_bucket(t, hold_id(w)) != b ||
                (o == t.self ? !(t.mine && t.mine(t.arg, hold_id(w))) : !hold_alive(t, o));
    if (w != 0 && free &&
        hword(&b[i]).compare_exchange_strong(w, mine, std::memory_order_seq_cst))
      return int(i);
  }
  return -1;
}

// After this process claimed id in word `mine` of the bucket: -1 when the
// claim stands, else the word of another live process's claim that wins
// (its value in *seen). Two processes may claim id at once in two words,
// and a word below a claim may fall free after the claim's look: so each
// claimer looks at every other word after its own claim, and a claim stands
// only when its last look saw no other. A claim below wins at once; one
// above may be a claimer yet to look (it sees ours below and goes), or the
// holder: it is looked at again for a while, then taken for the holder.
int hold_settle(const UioHoldTable& t, uint64_t* b, uint32_t id, uint32_t mine, uint64_t* seen) {
  for (int round = 0;; ++round) {
    if (int k = hold_find(t, b, id, mine, seen); k >= 0) return k;
    int above = hold_find(t, b, id, kUioHoldBucket, seen, mine + 1);
    if (above < 0 || round >= 200) return above;
    ::sched_yield();
  }
}

// Clears this process's word for id at b[i]; wakes its waiters.
void hold_drop(const UioHoldTable& t, uint64_t* b, uint32_t i, uint32_t id) {
  uint64_t mine = hold_word(id, t.self);
  uint64_t w = hword(&b[i]).load(std::memory_order_seq_cst);
  while ((w & ~kHoldWanted) == mine) {
    if (!hword(&b[i]).compare_exchange_weak(w, 0, std::memory_order_seq_cst)) continue;
    if ((w & kHoldWanted) && *t.marked) {
      // The waiters sleep on the wait mark: dropped, it lets them look again.
      // It is taken again at the next hold.
      static_cast<void>(set_lock(t.fd, t.wait_base + t.self, F_UNLCK, F_SETLK));
      *t.marked = false;
    }
    return;
  }
}

void hold_mark(const UioHoldTable& t) {
  if (!*t.marked) *t.marked = set_lock(t.fd, t.wait_base + t.self, F_WRLCK, F_SETLK) == 0;
}

void sleep_secs(double secs) {
  struct timespec ts;
  ts.tv_sec = time_t(secs);
  ts.tv_nsec = long((secs - double(ts.tv_sec)) * 1e9);
  ::nanosleep(&ts, nullptr);
}
}  // namespace

int uio_hold_mark(const UioHoldTable& t) {
  int e = set_lock(t.fd, t.wait_base + t.self, F_WRLCK, F_SETLK);
  *t.marked = e == 0;
  return e;
}

int uio_hold(const UioHoldTable& t, uint32_t id, int wait_secs, const char* what) {
  if (id == 0 || t.count < kUioHoldBucket) return EINVAL;
  hold_mark(t);
  uint64_t* b = hold_bucket(t, id);
  WaitClock clock;
  bool timer = false;
  double pause = 0.0002;  // grows while a wake may have been missed
  double circle = 0;      // since when the kernel sees a circle through a wait for room
  for (;;) {
    uint64_t seen = 0;
    bool room = false;  // waiting for a word of a full bucket, not for id
    int k = hold_find(t, b, id, kUioHoldBucket, &seen);
    if (k < 0) {
      int i = hold_claim(t, b, id);
      if (i >= 0) {
        k = hold_settle(t, b, id, uint32_t(i), &seen);
        if (k < 0) return 0;
        hold_drop(t, b, uint32_t(i), id);
      } else {
        // Every word of the bucket is held: wait for another process's.
        bool own = true;
        for (uint32_t j = 0; j < kUioHoldBucket && k < 0; ++j) {
          uint64_t w = hword(&b[j]).load(std::memory_order_seq_cst);
          if (hold_owner(w) != t.self) own = false;
          if (hold_alive(t, hold_owner(w))) k = int(j), seen = w, room = true;
        }
        if (k < 0) {
          if (own) return ENOLCK;  // all of them this process's own
          sleep_secs(pause);
          pause = std::min(pause * 2, kPollSecs);
          continue;
        }
      }
    }
    if (wait_secs == kUioNoWait) return EAGAIN;
    uint32_t holder = hold_owner(seen);
    bool first = !clock.interrupt;
    double now = 0;
    if (int e = clock.tick(wait_secs, what, holder, &now)) return e;
    if (first) timer = timer_ready();
    // Tell the holder someone waits, then sleep on its wait mark; this
    // process's own mark stays up, so that a wait that closes a circle is
    // seen by the kernel.
    hold_mark(t);
    if (!(seen & kHoldWanted) &&
        !hword(&b[k]).compare_exchange_strong(seen, seen | kHoldWanted, std::memory_order_seq_cst))
      continue;
    double until = clock.until(now, pause);
    pause = std::min(pause * 2, kPollSecs);
    if (!timer) {
      sleep_secs(until - now);
      continue;
    }
    arm(until - now);
    int e = set_lock(t.fd, t.wait_base + holder, F_RDLCK, F_SETLKW);
    disarm();
    if (e == 0) {
      circle = 0;
      static_cast<void>(set_lock(t.fd, t.wait_base + holder, F_UNLCK, F_SETLK));
      // Woken, or the holder is between marks: look again, and give a holder
      // without its mark a moment.
      if (hold_find(t, b, id, kUioHoldBucket, &seen) >= 0 && hold_owner(seen) == holder)
        sleep_secs(std::min(pause, std::max(0.0, until - now_secs())));
      continue;
    }
    if (e == EDEADLK) {
      // The kernel sees a circle of marks. A waiter that read the table a
      // moment before its holder let the record go may still sleep on the
      // holder's mark while the holder, holding nothing it wants, waits on
      // another's: a circle that no hold closes. Only a hold of id still
      // taken by the same holder is a deadlock.
      if (hold_find(t, b, id, kUioHoldBucket, &seen) >= 0 && hold_owner(seen) == holder) return EDEADLK;
      if (room) {
        // Waiting for room: the circle closes through holds of other ids. One
        // the kernel still sees after every stale sleep in it has ended (a
        // sleep lasts at most kPollSecs) is a deadlock; till then, no spin.
        double at = now_secs();
        if (circle == 0) circle = at;
        else if (at - circle > 4 * kPollSecs) return EDEADLK;
        sleep_secs(pause);
      }
      continue;
    }
    if (e != EINTR) return e;
  }
}

void uio_unhold(const UioHoldTable& t, uint32_t id) {
  if (id == 0 || t.count < kUioHoldBucket) return;
  uint64_t* b = hold_bucket(t, id);
  uint64_t mine = hold_word(id, t.self);
  for (uint32_t i = 0; i < kUioHoldBucket; ++i) {
    if ((hword(&b[i]).load(std::memory_order_relaxed) & ~kHoldWanted) == mine) {
      hold_drop(t, b, i, id);
      return;
    }
  }
}

pid_t uio_hold_holder(const UioHoldTable& t, uint32_t id) {
  if (id == 0 || t.count < kUioHoldBucket) return 0;
  uint64_t* b = hold_bucket(t, id);
  for (uint32_t i = 0; i < kUioHoldBucket; ++i) {
    uint64_t w = hword(&b[i]).load(std::memory_order_seq_cst);
    if (w != 0 && hold_id(w) == id && hold_owner(w) != 0 &&
        uio_lock_holder(t.fd, t.live_base + hold_owner(w), UioLock::Write) > 0)
      return pid_t(hold_owner(w));
  }
  return 0;
}

void uio_set_report(UioReport r) { g_report = r; }
void uio_set_cancel_check(UioCancelCheck check) { g_cancel = check; }
void uio_set_report_interval(int seconds) { g_interval = seconds > 0 ? seconds : kUioReportSeconds; }

// -------------------------------------------------------------- checksums --
namespace {
struct CrcTable {
  uint32_t t[8][256];
  CrcTable() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1)));
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
};
const CrcTable& crc_table() {
  static const CrcTable t;
  return t;
}

uint32_t crc_soft(const uint8_t* p, size_t n, uint32_t c) {
  const CrcTable& T = crc_table();
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    w ^= c;
    c = T.t[7][w & 0xFF] ^ T.t[6][(w >> 8) & 0xFF] ^ T.t[5][(w >> 16) & 0xFF] ^
        T.t[4][(w >> 24) & 0xFF] ^ T.t[3][(w >> 32) & 0xFF] ^ T.t[2][(w >> 40) & 0xFF] ^
        T.t[1][(w >> 48) & 0xFF] ^ T.t[0][w >> 56];
    p += 8;
    n -= 8;
  }
  while (n--) c = (c >> 8) ^ T.t[0][(c ^ *p++) & 0xFF];
  return c;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc_hw(const uint8_t* p, size_t n, uint32_t c) {
  uint64_t c64 = c;
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    c64 = __builtin_ia32_crc32di(c64, w);
    p += 8;
    n -= 8;
  }
  uint32_t c32 = uint32_t(c64);
  while (n--) c32 = __builtin_ia32_crc32qi(c32, *p++);
  return c32;
}
bool have_sse42() {
  static const bool v = __builtin_cpu_supports("sse4.2");
  return v;
}
#endif
}  // namespace

uint32_t uio_crc32c(const void* data, size_t n, uint32_t seed) {
  auto* p = static_cast<const uint8_t*>(data);
  uint32_t c = ~seed;
#if defined(__x86_64__)
  if (have_sse42()) return ~crc_hw(p, n, c);
#endif
  return ~crc_soft(p, n, c);
}

namespace {
typedef uint64_t V4 __attribute__((vector_size(32)));
inline uint64_t mix64(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}
}  // namespace

// Four Fletcher sums over 64-bit words (a += w; b += a), one per lane of 32
// bytes, so that the lanes add in parallel; a tail of 4-byte words goes to a
// fifth pair. A changed bit changes its lane's a, and b by a multiple of its
// distance to the end; the pairs, the seed and the length are then mixed.
__attribute__((target_clones("avx2", "default"))) uint64_t uio_sum64(const void* data, size_t n,
                                                                      uint64_t seed) {
  static_assert(std::endian::native == std::endian::little, "sums are taken over little-endian words");
  auto* p = static_cast<const uint8_t*>(data);
  V4 a = {0, 0, 0, 0}, b = {0, 0, 0, 0};
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    V4 w;
    std::memcpy(&w, p + i, 32);
    a += w;
    b += a;
  }
  uint64_t ta = 0, tb = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t w;
    std::memcpy(&w, p + i, 4);
    ta += w;
    tb += ta;
  }
  uint64_t h = mix64(seed ^ (uint64_t(n) << 40) ^ 0x9E3779B97F4A7C15ull);
  for (int j = 0; j < 4; ++j) h = mix64(h ^ a[j]) + b[j];
  return mix64(h ^ ta) + tb;
}

uint32_t uio_crc32c_rec(uint32_t crc, const void* p, size_t n) {
  uint8_t lb[4];
  rec::view<rec::U32>(lb) = uint32_t(n);
  return uio_crc32c(p, n, uio_crc32c(lb, 4, crc));
}
