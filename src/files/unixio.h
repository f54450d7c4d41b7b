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

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// ------------------------------------------------------------------ files --
// open() retried on EINTR, with O_CLOEXEC; -1 with errno.
int uio_open(const char* path, int flags, int mode = 0666);
void uio_close(int fd);
// Reads up to n bytes at off; the count read (short only at end of file) or
// -1 with errno.
ssize_t uio_pread(int fd, void* buf, size_t n, uint64_t off);
// Writes all n bytes at off; 0 or an errno value.
int uio_pwrite(int fd, const void* buf, size_t n, uint64_t off);
// Size of the open file, -1 with errno.
int64_t uio_size(int fd);
// Makes the file at least size bytes long, with its blocks allocated, so that
// stores through a mapping never meet a full disk; 0 or an errno value.
int uio_grow(int fd, uint64_t size);
// Flushes the file's data to disk (fdatasync); 0 or an errno value.
int uio_sync(int fd);

// True when QUVO_FILE_SYNC=1 (read once), or as set by uio_set_sync_mode.
bool uio_sync_mode();
// Tests: 0 off, 1 on, -1 back to the environment's choice.
void uio_set_sync_mode(int mode);

// A shared mapping of reserve bytes of address space over the file (pages
// beyond the file's end must not be touched until the file has grown over
// them); nullptr with errno.
uint8_t* uio_map(int fd, uint64_t reserve, bool writable);
void uio_unmap(void* base, uint64_t reserve);

// ------------------------------------------------------------------ locks --
enum class UioLock { Read, Write };

// Wait arguments of uio_lock.
constexpr int kUioNoWait = 0;
constexpr int kUioWaitForever = -1;

// Locks the byte at off. wait_secs: kUioNoWait fails at once, kUioWaitForever
// waits as long as it takes, n > 0 waits at most n seconds. what names the
// locked object in the report ("record 5120 of /data/CUST"). Returns 0, or
// EAGAIN (held by another process and not waited for), ETIMEDOUT (the wait
// limit passed), EDEADLK (waiting would deadlock) or another errno value.
// The locks of one process never conflict with each other (fcntl semantics):
// callers track their own handles.
int uio_lock(int fd, uint64_t off, UioLock kind, int wait_secs, const char* what);
// Releases the byte at off; 0 or an errno value.
int uio_unlock(int fd, uint64_t off);
// The process holding a lock that conflicts with kind at off, 0 for none.
pid_t uio_lock_holder(int fd, uint64_t off, UioLock kind);
// "user NAME (process PID)" for a process id.
std::string uio_who(pid_t pid);

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
// A fast 64-bit check sum of n bytes (n a multiple of 4), position-sensitive:
// a change of any bits, a zeroed block or words swapped change it (but for a
// chance of 2^-64). Used for index pages and journal entries.
uint64_t uio_sum64(const void* p, size_t n, uint64_t seed);
