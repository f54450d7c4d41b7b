// Operating-system services of the native record files: file I/O, shared
// mappings, one-byte fcntl locks with the "who holds it" report, sync mode and
// checksums.
//
// Lock waits. A lock that is taken with a wait blocks in the kernel (F_SETLKW,
// so that the kernel also detects a deadlock between processes). A per-thread
// timer interrupts the wait every 10 seconds (uio_set_report_interval): the
// wait then reports who holds the lock and keeps waiting. The report goes to
// the message line while a screen is up and to standard error otherwise
// (uio_set_report replaces that, for tests). The timer uses the real-time
// signal kUioLockSignal, whose handler does nothing but interrupt the wait.
//
// Sync mode. By default nothing is forced to disk: every change is in the
// operating system's page cache before the operation that made it returns,
// so a killed or crashed engine loses nothing it was told was done, and a
// change costs microseconds. With the environment variable QUVO_FILE_SYNC
// set to 1 the files are also synced at each step that must reach the disk
// in order, so that a power loss or a system crash loses no acknowledged
// change either, at the cost of several disk flushes per change (about a
// millisecond each on common disks). The default is the fast mode because
// the engine's users share files interactively and write record by record;
// sites that need power-loss safety turn the variable on.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <csignal>
#include <cstdint>
#include <string>

// ------------------------------------------------------------------ files --
// The data directory is shared by the members of a group, any of whom may
// plant a name in it. So a name is never followed when it is a symbolic
// link, an existing file must be a regular file, and a file is only ever
// created new (never truncated under a name that may already exist).
//
// Names below the data directory (os_data_dir(), QUVOPATH) are resolved from
// that directory without following a symbolic link in any component, and
// never out of it: a member who replaces a directory of the path by a link
// (to a directory in another user's home, say) gets ELOOP, never the link's
// target; a ".." there gives EXDEV. The kernel does it in one call where it
// has openat2 (RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS), else it is done one
// component at a time with O_NOFOLLOW. The data directory's own name is the
// administrator's and is resolved as the system does. A name elsewhere (a
// file given on the command line) is resolved as the system does too, but
// for its last component, which is never followed. Every function of this
// header that takes a path resolves it so.
//
// The directory holding a path's last component, open (O_PATH), and that
// component; the group new entries take: the data directory's below it,
// else that of the directory holding them.
struct UioAt {
  int dir = -1;
  std::string leaf;
  gid_t group = gid_t(-1);
  UioAt() = default;
  ~UioAt();
  UioAt(const UioAt&) = delete;
  UioAt& operator=(const UioAt&) = delete;
};
// 0 or an errno value (ELOOP, EXDEV, ENOENT ... of a directory on the way;
// EINVAL for a path without a last component).
int uio_at(const char* path, UioAt* at);
// How names below the data directory are resolved: Auto uses openat2 where
// the kernel has it; Walk (for tests) always goes component by component.
enum class UioResolve { Auto, Walk };
void uio_set_resolve(UioResolve how);
// Whether the kernel resolves names (Auto and openat2 present).
bool uio_resolve_in_kernel();
//
// Opens an existing file: open() retried on EINTR, with O_CLOEXEC and
// O_NOFOLLOW; anything but a regular file is refused (ELOOP for a symbolic
// link, EINVAL for a device, pipe or directory). With O_DIRECTORY it opens
// a directory instead. O_CREAT and O_TRUNC are not allowed here: files are
// made by uio_create. -1 with errno.
int uio_open(const char* path, int flags);
// Makes a new regular file (O_CREAT | O_EXCL | O_NOFOLLOW, read and write):
// EEXIST when the name is taken, by anything. Its mode is kUioFileMode (or
// mode: 0600 for a file no one else may open for writing while it is being
// made) whatever the umask, and its group as UioAt says (when the user may
// give it that group). -1 with errno.
constexpr int kUioFileMode = 0660;
// Directories: the group's members only, new entries take the directory's
// group, and only an entry's owner (or the directory's) removes or renames
// it, so no member replaces another's files.
constexpr int kUioDirMode = 03770;
int uio_create(const char* path, int mode = kUioFileMode);
// Makes a directory of mode kUioDirMode whatever the umask, with the group
// as UioAt says; 0, or an errno value (EEXIST when the name is taken).
int uio_mkdir(const char* path);
// Makes the directory dir and every missing one above it as uio_mkdir does;
// 0 when it is a directory at the end (ENOTDIR or ELOOP when a name on the
// way is something else), or an errno value.
int uio_mkdirs(const char* dir);
// Removes a name (never what a link names); 0 or an errno value.
int uio_unlink(const char* path);
// lstat(); 0 or an errno value.
int uio_lstat(const char* path, struct stat* st);
// opendir() of a directory that is no link; nullptr with errno.
DIR* uio_opendir(const char* path);
void uio_close(int fd);
// Reads up to n bytes at off; the count read (short only at end of file) or
// -1 with errno.
[[nodiscard]] ssize_t uio_pread(int fd, void* buf, size_t n, uint64_t off);
// Writes all n bytes at off; 0 or an errno value.
[[nodiscard]] int uio_pwrite(int fd, const void* buf, size_t n, uint64_t off);
// Size of the open file, -1 with errno.
int64_t uio_size(int fd);
// Makes the file at least size bytes long, with its blocks allocated, so that
// stores through a mapping never meet a full disk; 0 or an errno value.
[[nodiscard]] int uio_grow(int fd, uint64_t size);
// Makes sure the blocks of len bytes at off are the file's (allocated, the
// file at least off + len long): a file lengthened with holes (a copy of
// one whose tail was reserved, a truncate) need not hold them, and a store
// through a mapping into a hole faults when the disk is full, where a
// write says ENOSPC. On a file system that cannot allocate: uio_grow.
[[nodiscard]] int uio_reserve(int fd, uint64_t off, uint64_t len);
// Flushes the file's data to disk (fdatasync); 0 or an errno value.
[[nodiscard]] int uio_sync(int fd);
// Flushes the directory holding path (its entries: a create, link or
// rename in it); 0 or an errno value.
[[nodiscard]] int uio_sync_dir(const std::string& path);
// rename() and link() (the link never follows a symbolic link); 0 or an
// errno value.
[[nodiscard]] int uio_rename(const char* from, const char* to);
[[nodiscard]] int uio_link(const char* from, const char* to);

// Tests: every sync, directory sync, rename and link goes first to the
// trace (fd of a sync, -1 otherwise; path of the others). A trace that
// answers an errno value makes the step fail with it, without doing it.
enum class UioStep { Sync, SyncDir, Rename, Link };
using UioTrace = int (*)(UioStep step, int fd, const char* path, const char* to);
void uio_set_trace(UioTrace trace);

// True when QUVO_FILE_SYNC=1 (read once), or as set by uio_set_sync_mode.
bool uio_sync_mode();
// Tests: 0 off, 1 on, -1 back to the environment's choice.
void uio_set_sync_mode(int mode);

// A shared mapping of reserve bytes of address space over the file;
// nullptr with errno. A writable one brings pages into the page cache one at
// a time, without read-ahead (see unixio.cpp). Pages beyond the file's end
// are not touched until the file has grown over them; should another user
// cut the file short under a touch, the page reads as zeros and *cut is set
// (ss_guard_map): the owner answers damage and maps the file again with
// uio_remap, which clears *cut.
uint8_t* uio_map(int fd, uint64_t reserve, bool writable, volatile sig_atomic_t* cut);
void uio_unmap(void* base, uint64_t reserve);
// Maps the file afresh over the mapping at base (the zero pages go): 0 or an
// errno value (the mapping then stays cut).
[[nodiscard]] int uio_remap(uint8_t* base, int fd, uint64_t reserve, bool writable, volatile sig_atomic_t* cut);
// Lets the process's view of len bytes at base (a part of a shared file
// mapping, page-aligned) go: the bytes stay in the file and in the system's
// page cache, and the next touch maps them again. Nothing written through
// the mapping is lost.
void uio_map_release(void* base, uint64_t len);
// Maps len bytes at base (a part of a shared file mapping, page-aligned,
// inside the file) for reading at once, rather than a fault at a time as
// they are touched; a hint: where the system cannot, nothing is done.
void uio_map_ahead(void* base, uint64_t len);

// ---------------------------------------------------------------- watches --
// Name watches: whether a name below the data directory may have come to
// name another file (or a watched file been written) since an earlier look,
// at the cost of a memory load a look while nothing changed: the kernel
// queues what changed (inotify) and signals it. A watch of a path covers
// every directory from the data directory down to the path's own: a
// directory on the way renamed, removed or put in another's place, and any
// name made, removed or renamed in the path's own directory, bump the
// epoch; so does, for a path watched with its bytes, a write, truncation or
// change of times of the file itself (a change through a shared mapping is
// not seen: such files are read through their mapping). Whoever relies on a name watches it, then takes the epoch, then
// looks the name up: while the epoch stays the same, the name names what it
// named then.
// Asked again, a path watched with its bytes has the file its name names
// now watched too (a file put in its place since, while the one before is
// still open somewhere, keeps the watch of the one before).
// True when path is watched from now on (also when it already was); false
// when it cannot be (outside the data directory, no watch to be had): the
// caller then looks the name up itself every time.
bool uio_watch(const std::string& path, bool bytes);
// The epoch, after what the kernel queued since the last look; a lost
// event, a failed read, or another process (a fork) than the one that
// watched bumps it, and the watches are then made again as asked. The
// kernel signals what it queues (SIGIO, which the first watch handles
// when nobody else does), and a look reads the queue only after a signal:
// a look with nothing queued makes no system call. In a process of one
// thread, a change made by this process, or by another before this one's
// last system call returned, has been signalled by then.
uint64_t uio_watch_epoch();
// Reads of the queue so far (looks that found a signal, or every look
// where SIGIO is another's), and signals: the first event after a look
// signals, those after it until the next look do not.
uint64_t uio_watch_reads();
uint64_t uio_watch_signals();

// ------------------------------------------------------------------ locks --
enum class UioLock { Read, Write };

// Wait arguments of uio_lock.
constexpr int kUioNoWait = 0;
constexpr int kUioWaitForever = -1;

// Cancelling a lock wait. While a wait goes on, the check is asked a few
// times a second; when it answers true the wait ends with ECANCELED. The
// window manager sets one that answers its CANCEL key while a screen is up;
// without one, an interrupt (^C, SIGINT) delivered during the wait ends it.
using UioCancelCheck = bool (*)();
void uio_set_cancel_check(UioCancelCheck check);

// Locks the byte at off. wait_secs: kUioNoWait fails at once, kUioWaitForever
// waits as long as it takes, n > 0 waits at most n seconds. what names the
// locked object in the report ("record 5120 of /data/CUST"). Returns 0, or
// EAGAIN (held by another process and not waited for), ETIMEDOUT (the wait
// limit passed), EDEADLK (waiting would deadlock), ECANCELED (the user
// cancelled the wait) or another errno value.
// The locks of one process never conflict with each other (fcntl semantics):
// callers track their own handles.
[[nodiscard]] int uio_lock(int fd, uint64_t off, UioLock kind, int wait_secs, const char* what);
// Releases the byte at off; 0 or an errno value.
int uio_unlock(int fd, uint64_t off);
// The process holding a lock that conflicts with kind at off, 0 for none.
pid_t uio_lock_holder(int fd, uint64_t off, UioLock kind);
// "user NAME (process PID)" for a process id.
std::string uio_who(pid_t pid);

// Word locks: a lock kept in two words of a shared mapping (owner,
// waiters), taken and released without a system call while nobody waits,
// for locks taken on every change of a file. The owner word holds the
// holder's process id, 0 while free. A process that may take such a lock
// first takes its live mark (uio_word_live: a lock of the byte live_base +
// its id in a file) and keeps it while it may hold the word lock; the
// kernel drops the mark when the process dies, so that a waiter that finds
// the owner's mark gone takes the lock over (what the dead owner left half
// done is the caller's to repair). The words are untrusted: any value is
// taken for an owner's id, and one that names no live process is taken over.
struct UioWordLock {
  uint32_t* owner = nullptr;
  uint32_t* waiters = nullptr;  // nullptr for a process that can only wait
  int fd = -1;                  // the file of the live marks
  uint64_t live_base = 0;
  uint32_t self = 0;            // this process's id
};
// Takes this process's live mark (without waiting): 0 or an errno value.
int uio_word_live(int fd, uint64_t live_base, uint32_t self);
// Takes the lock (waits as uio_lock, reporting every 10 seconds who holds
// it, and cancellable): 0, ECANCELED, ETIMEDOUT or EAGAIN (kUioNoWait).
[[nodiscard]] int uio_word_lock(const UioWordLock& l, int wait_secs, const char* what);
void uio_word_unlock(const UioWordLock& l);
// Waits until the lock is free or its owner dead, without taking it (for a
// process that may only read): 0 or ECANCELED.
[[nodiscard]] int uio_word_wait(const UioWordLock& l, const char* what);
// Whether the owner word names no live holder (free, or its owner dead).
bool uio_word_free(const UioWordLock& l);

// Hold tables: which process holds which of a file's objects (records),
// kept in a shared mapping and taken and released without a system call
// while nobody waits. The table is `count` 64-bit words in buckets of
// kUioHoldBucket; an object's id picks its bucket. A word holds the id in its
// low half and the holder's process id in its high half (top bit: another
// process waits for it), 0 when free. A process that holds objects keeps its
// live mark (uio_word_live) and its wait mark (a lock of the byte wait_base +
// its id in the same file) while it may hold; a word whose process holds no
// live mark is free, so the holds of a process that died vanish with it.
// A claim (a free word taken) stands only when a look at every other word
// of the bucket after it sees no live claim of the same id; of two claims
// made at once the lower word wins.
// A waiter sleeps in the kernel on the holder's wait mark, so that the
// kernel sees who waits for whom and refuses a wait that would deadlock
// (EDEADLK, across files and with byte locks alike); a holder that lets go
// of a waited-for object drops its wait mark for a moment to wake its
// waiters. The words are untrusted: any value is only ever taken for a
// claim to be checked, and no word leads to a place outside the table.
// Within one process holds do not conflict: the caller keeps its own.
constexpr uint32_t kUioHoldBucket = 32;
struct UioHoldTable {
  uint64_t* words = nullptr;  // count words, 8-byte aligned
  uint32_t count = 0;         // a multiple of kUioHoldBucket
  int fd = -1;                // the file of the live and wait marks
  uint64_t live_base = 0;
  uint64_t wait_base = 0;
  uint32_t self = 0;          // this process's id
  bool* marked = nullptr;     // whether this process holds its wait mark now
  // Whether this process holds id (a word naming it for another id is left
  // from a dead process of the same id, or forged).
  bool (*mine)(void* arg, uint32_t id) = nullptr;
  void* arg = nullptr;
};
// Takes this process's wait mark (without waiting): 0 or an errno value.
int uio_hold_mark(const UioHoldTable& t);
// Holds id (not 0), waiting as uio_lock does (report every 10 seconds of who
// holds it, cancellable): 0, EAGAIN (held by another process and not waited
// for), ETIMEDOUT, EDEADLK (also a wait for room in a full bucket whose
// holders wait, in a circle, for this process), ECANCELED, ENOLCK (the
// bucket of id is full of this process's own holds) or another errno value.
[[nodiscard]] int uio_hold(const UioHoldTable& t, uint32_t id, int wait_secs, const char* what);
// Lets id go (nothing when this process does not hold it), waking its waiters.
void uio_unhold(const UioHoldTable& t, uint32_t id);
// The live process holding id, 0 for none.
pid_t uio_hold_holder(const UioHoldTable& t, uint32_t id);

constexpr int kUioReportSeconds = 10;
using UioReport = void (*)(const char* text);
// Replaces where lock-wait reports go (nullptr: back to the message line or
// standard error).
void uio_set_report(UioReport report);
// Tests: seconds between reports (kUioReportSeconds by default).
void uio_set_report_interval(int seconds);
int uio_lock_signal();

// -------------------------------------------------------------- checksums --
// CRC-32C (Castagnoli), with the processor's instruction where it has one.
uint32_t uio_crc32c(const void* p, size_t n, uint32_t seed = 0);
// The CRC-32C of a record sequence, continued by one record: its length
// (u32, little-endian), then its bytes.
uint32_t uio_crc32c_rec(uint32_t crc, const void* p, size_t n);
// A fast 64-bit check sum of n bytes (n a multiple of 4), position-sensitive:
// a change of any bits, a zeroed block or words swapped change it (but for a
// chance of 2^-64). Used for index pages and journal entries.
uint64_t uio_sum64(const void* p, size_t n, uint64_t seed);
