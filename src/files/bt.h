// The index file of a native record file: B+-trees in 4 KB pages, one tree
// per key of the file (up to 17), a tree of the data file's free slots by
// size, and for a file without keys a tree of its records in write order.
//
// Entries. Every tree has entries of one size: key_len compared bytes and a
// 4-byte value (the record id in a leaf, the child page in an internal page).
// The compared bytes are the record's key in normalized form (brf makes it:
// segments in order, binary segments big-endian, descending segments
// complemented), so that memcmp gives the key order; a tree that allows
// duplicates appends the record's write sequence number, so that equal keys
// keep their write order and every entry is unique.
//
// Sharing. Every process maps the index file (MAP_SHARED) and reads pages in
// place. All changes of a file, data and index, are made under the change
// lock by one process at a time. The change lock is a word lock (unixio.h)
// in page 0 of the index file (lock_owner, lock_waiters): taken and released
// without a system call while no one waits for it. Every process that may
// write the file holds its live mark, a one-byte fcntl lock on byte
// kBtLiveBase + its process id of the index file, from the open to the
// close, so that the lock of a process that died is taken over (and its
// change rolled back, below). A process that may only read cannot write the
// words: it holds no lock and no writer waits for it; where it needs a state
// without a change under way, it waits until the lock is free and reads
// until the counter shows no change came between. Readers take no lock while they
// read, so no reader, whatever lock it holds elsewhere in the file, can stop
// a writer. The first 8 bytes of the index file hold the change
// counter: odd while a change is under way, even between changes. A reader
// reads the counter, reads pages and records, and reads the counter again;
// when it is even and unchanged the reader saw one consistent state, and
// otherwise it reads again, and at last under the shared index lock. Each
// page carries a check sum and the counter value of its last change; a
// process verifies a page's check sum when it meets a page whose change
// value it has not verified yet, so damage is found before any use and hot
// pages are not summed on every read.
//
// Crash safety. Before a page or a data-file range is changed for the first
// time in a change, its old bytes go to the journal file, each entry tagged
// with the change's counter value and check summed. The change is complete
// when the counter becomes even again. A process that finds the counter odd
// while it can take the exclusive lock knows that the changer died: it
// copies the journal's entries of that change back (newest first) and makes
// the counter even, so the file is exactly as before the change. A change
// that returned success is never undone. Without sync mode every step is
// in the operating system's page cache before the next begins, which a
// killed process cannot undo; in sync mode (QUVO_FILE_SYNC=1) each journal
// entry is flushed before its page changes, and data and index are flushed
// before the counter is made even; a change whose flush fails is rolled back
// and reported failed before its counter completes.
//
// Faults. A memory fault inside file code unwinds (ScopeUnwind): the locks
// and the change state are released by guards on the way out (an unfinished
// change is rolled back from the journal), so no lock outlives the unwind.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "foundation/record.h"

constexpr uint32_t kBtPage = 4096;
constexpr int kBtKeyTrees = 17;   // trees 0..16: the file's keys
constexpr int kBtFreeTree = 17;   // free slots of the data file: (size, offset)
constexpr int kBtOrderTree = 18;  // write order of a file without keys: (sequence)
constexpr int kBtTrees = 19;
constexpr uint32_t kBtMaxKey = 496;  // compared bytes of an entry, at most
constexpr uint32_t kBtPageHdr = 32;
constexpr uint64_t kBtLiveBase = uint64_t(1) << 40;  // live marks: this byte + the process id
constexpr uint64_t kBtWaitBase = kBtLiveBase + (uint64_t(1) << 32);  // wait marks of record holds

// Address space reserved for the mappings (the files grow inside them).
constexpr uint64_t kBtDataReserve = uint64_t(1) << 32;   // record ids are 32-bit offsets
constexpr uint64_t kBtIndexReserve = uint64_t(1) << 36;
constexpr uint64_t kBtJnlReserve = uint64_t(1) << 32;

// ---------------------------------------------------------------- records --
struct BtTreeHdr {
  rec::U32 root;      // root page, 0 while the tree is empty
  rec::U32 entries;   // entries in the leaves
  rec::U16 key_len;   // compared bytes of an entry
  rec::U8 height;     // levels, 0 while empty
  rec::U8 flags;      // kBtDup: duplicate keys (a sequence number ends the compared bytes)
  rec::U32 pages;     // pages in use by the tree
};
QV_RECORD(BtTreeHdr, 16);
constexpr uint8_t kBtDup = 1;
constexpr uint8_t kBtUsed = 2;  // the tree exists in this file

// Page 0 of the index file.
struct BtHdr {
  rec::U64 counter;        // change counter; updated atomically, never journaled
  rec::U32 lock_owner;     // the change lock: the holder's process id, 0 when free
  rec::U32 lock_waiters;   // processes waiting for it
  rec::Bytes<48> ctl;      // room for more words of that kind
  rec::Text<4> magic;      // "QVIX"
  rec::U16 version;
  rec::U16 page_size;
  rec::U32 page_count;     // pages in the file, this one included
  rec::U32 free_head;      // first free page, 0 for none
  rec::U32 free_count;
  rec::U32 generation;     // equals the data file's: the two belong together
  rec::U32 key_hash;       // hash of the data file's key layout
  rec::Bytes<4> spare;
  BtTreeHdr trees[kBtTrees];
  rec::U64 sum;            // of bytes 64..399
  rec::Bytes<104> spare2;
  // A copy of the data file's 512-byte header as it was when this index was
  // written (brf.h); it carries its own check sum and is neither journaled
  // nor summed here. All zero in index files written before copies were kept.
  rec::Bytes<512> data_hdr;
  // The record holds of every process sharing the file (a hold table,
  // unixio.h): neither journaled nor summed, all zero while nothing is held.
  rec::Bytes<3072> holds;
};
QV_RECORD(BtHdr, 4096);
QV_AT(BtHdr, lock_owner, 8);
QV_AT(BtHdr, magic, 64);
QV_AT(BtHdr, trees, 96);
QV_AT(BtHdr, sum, 400);
QV_AT(BtHdr, data_hdr, 512);
QV_AT(BtHdr, holds, 1024);
// Page 0 is journaled from kBtHdrJournaled to kBtHdrEnd (the counter before
// it is never rolled back; nothing after it is used).
constexpr uint32_t kBtHdrJournaled = 64;
constexpr uint32_t kBtHdrEnd = 408;

struct BtPageHdr {
  rec::U8 kind;    // 'L' leaf, 'I' internal, 'F' free
  rec::U8 tree;
  rec::U16 count;  // entries
  rec::U32 page;   // its own page number
  rec::U64 lsn;    // counter value of its last change
  rec::U64 sum;    // check sum of the page (this field excluded)
  rec::U32 next;   // leaf: next leaf in key order; free page: next free page
  rec::U8 level;   // 0 for a leaf
  rec::Bytes<3> spare;
};
QV_RECORD(BtPageHdr, 32);

struct BtJnlHdr {
  rec::Text<4> magic;  // "QVJN"
  rec::U16 version;
  rec::Bytes<58> spare;
};
QV_RECORD(BtJnlHdr, 64);

// One journal entry, followed by len old bytes padded to a multiple of 8.
struct BtJnlEnt {
  rec::U64 txn;   // the odd counter value of the change it belongs to
  rec::U8 file;   // 0 index file, 1 data file
  rec::Bytes<3> spare;
  rec::U32 len;
  rec::U64 off;
  rec::U64 sum;   // of the entry's fields above and its bytes
};
QV_RECORD(BtJnlEnt, 32);

// ------------------------------------------------------------ return codes --
enum BtRc : int {
  kBtOk = 0,
  kBtNotFound = 1,  // no such entry / end of the tree
  kBtRetry = 2,     // the pages changed under an unlocked reader: read again
  kBtDamaged = 3,   // a check failed while the file could not change
  kBtDupKey = 4,    // insert: the compared bytes are already in the tree
  kBtIoError = 5,   // errno holds the reason (no space, ...)
  kBtBusy = 6,      // lock refused
};

// --------------------------------------------------------------- the store --
// The open index, data and journal files of one native file in this
// process, shared by all its handles (the descriptor cache holds one).
struct BtStore {
  int dfd = -1, ifd = -1, jfd = -1;
  uint8_t* dmap = nullptr;
  uint8_t* imap = nullptr;
  uint8_t* jmap = nullptr;
  uint64_t dsize = 0, isize = 0, jsize = 0;  // file sizes known
  // Below these, this process's stores land on blocks made sure of (what
  // the stores write next is reserved first: uio_reserve).
  uint64_t dheld = 0, iheld = 0, jheld = 0;
  bool writable = false;
  std::string name;  // the data file's path, for messages

  // Compared bytes of each tree's entries, as checked at attach: what sizes
  // every copy of an entry (the shared header may change under a reader).
  uint16_t klen[kBtTrees] = {};
  std::vector<uint64_t> verified;  // per page: change value last verified + 1
  std::vector<uint16_t> leaf_count;  // per leaf page: its entries when a seek last read it (a hint)
  struct Guesses {
    uint8_t tried = 0, missed = 0;
  } guesses[kBtTrees];  // how the seeks' guesses in the leaves fared lately, per tree
  int ilock = 0;                   // change lock held: 0 none, 1 to read, 2 to change
  uint32_t self = 0;               // process id of this store's live mark (0: none, read only)
  bool wait_mark = false;          // the wait mark of its record holds is taken
  // The change under way.
  bool in_txn = false;
  uint64_t txn = 0;                // its odd counter value
  uint64_t jpos = 0;               // next journal entry offset
  std::vector<uint32_t> touched;   // pages journaled in this change
  std::vector<uint16_t> touched_from;  // of each: its header and its bytes from this offset on
  // In a change of many pages, also per page: txn when journaled, and
  // touched_from.
  std::vector<uint64_t> tmark;
  std::vector<uint16_t> tfrom;
  bool dhdr_touched = false;       // data header journaled in this change
  int err = 0;                     // errno of the last kBtIoError
  uint32_t recoveries = 0;         // dead changes this store rolled back
  // Called by a rollback after the old bytes are back (the data file's own
  // repairs: its end-of-records mark).
  void (*after_recover)(BtStore& s) = nullptr;
  // Passes (bt_pass_begin) under way, and the pages of the data file (0)
  // and the index file (1) read since the mappings were last let go.
  int pass_walks = 0, pass_scattered = 0;
  std::vector<uint64_t> pass_seen[2];  // a bit per page
  uint64_t pass_lo[2] = {}, pass_hi[2] = {};  // pages [lo, hi) hold the bits set
  uint32_t pass_pages = 0;
  uint32_t pass_releases = 0;  // times the mappings were let go (tests)
  // Set when a touch of a mapping found its file cut short by another user
  // (uio_map): what was read since is not the file's, what was written
  // reached no file.
  volatile sig_atomic_t cut = 0;
};

BtHdr& bt_hdr(BtStore& s);
// The change counter (acquire load).
uint64_t bt_counter(const BtStore& s);

// Writes a new index file (page 0) and journal header; the trees flagged in
// defs get their key length and flags. 0 or an errno value.
struct BtTreeDef {
  uint16_t key_len = 0;
  uint8_t flags = 0;
};
[[nodiscard]] int bt_format(int ifd, int jfd, uint32_t generation, uint32_t key_hash,
                            const BtTreeDef defs[kBtTrees]);
// Maps the three files of an opened store and checks page 0 (and learns the
// trees' key lengths, each at most kBtMaxKey). kBtOk, kBtDamaged (bad header,
// short file) or kBtIoError.
[[nodiscard]] int bt_attach(BtStore& s);
void bt_detach(BtStore& s);
// Maps the three files afresh after a cut (s.cut): kBtOk, or kBtIoError
// (s.err) with s.cut still set.
[[nodiscard]] int bt_remap(BtStore& s);
// Page 0's check sum and page count (against the file's size).
bool bt_hdr_ok(BtStore& s);
// Learns the files' current sizes (they grow under other processes).
void bt_refresh_sizes(BtStore& s);

// ------------------------------------------------------------------ passes --
// A pass reads a large part of a file once: a walk through a tree from
// start to end, or reads of records by id in an order of the reader's own
// (scattered). While one is under way, the pages of the data and index
// files that reads touch are counted, and when more than kBtPassPages have
// been touched the process lets its view of them go (the pages stay in the
// system's page cache): a pass over a file of any size keeps a bounded part
// of it in the process's resident memory, at the price of mapping a page
// again when it is read again after that. A read fault maps the pages
// around the one touched too, so while a scattered pass is under way a
// touched page counts the kBtPassAround pages around it (a walk reads them
// all anyway); the records a scattered pass reads by id do not go through
// the mapping at all (brf.h). Passes end with bt_pass_end; what is read is
// the same with or without one.
constexpr uint32_t kBtPassPages = 2048;  // 8 MiB
constexpr uint32_t kBtPassAround = 16;   // the system's usual 64 KB
void bt_pass_begin(BtStore& s, bool scattered);
void bt_pass_end(BtStore& s, bool scattered);
// Notes a read of len bytes at off of the data file (0) or the index file (1).
void bt_pass_note(BtStore& s, int file, uint64_t off, uint32_t len);
inline void bt_pass_read(BtStore& s, int file, uint64_t off, uint32_t len) {
  if (s.pass_walks | s.pass_scattered) bt_pass_note(s, file, off, len);
}

// ------------------------------------------------------------------ locks --
// The change lock to read one state (see Sharing above), waiting as long as
// it takes (with the 10-second report, cancellable). kBtOk or kBtIoError
// (s.err: ECANCELED when the user cancelled the wait). A store that may only
// read takes nothing (ilock stays 0): it waits until the lock is free.
[[nodiscard]] int bt_lock_shared(BtStore& s);
// The change lock alone, as bt_begin takes it (for the rebuild's rollback).
[[nodiscard]] int bt_lock(BtStore& s);
// The counter is odd with no live holder of the change lock: a changer died
// and its change waits for a process that may write to roll it back.
bool bt_change_dead(BtStore& s);
void bt_unlock(BtStore& s);
// Releases the change lock when the scope ends, unless released before
// (a fault that unwinds through a locked read leaves no lock behind).
struct BtUnlockGuard {
  BtStore& s;
  bool armed = true;
  explicit BtUnlockGuard(BtStore& store) : s(store) {}
  ~BtUnlockGuard() {
    if (armed) bt_unlock(s);
  }
  void keep() { armed = false; }  // the lock stays taken
  BtUnlockGuard(const BtUnlockGuard&) = delete;
  BtUnlockGuard& operator=(const BtUnlockGuard&) = delete;
};

// ---------------------------------------------------------------- holds --
// Record holds, kept in page 0's hold table (see unixio.h): taken and let go
// without a system call while nobody waits. A process that may write holds
// its live mark and its wait mark (byte kBtWaitBase + its process id) from
// the open to the close, so the holds of a process that died are free.
// bt_hold answers as uio_hold does (EBADF for a store that may only read);
// within one process holds do not conflict (the caller keeps its own).
// mine(arg, id): whether the caller holds id.
[[nodiscard]] int bt_hold(BtStore& s, uint32_t rid, int wait_secs, const char* what,
                          bool (*mine)(void* arg, uint32_t id), void* arg);
void bt_unhold(BtStore& s, uint32_t rid);
// The live process holding rid, 0 for none.
pid_t bt_holder(BtStore& s, uint32_t rid);

// ---------------------------------------------------------------- changes --
// Takes the change lock, rolls back a dead changer's change, and begins a
// change. kBtOk, kBtDamaged, kBtIoError; on every failure (and on an
// unwind) the lock is released again.
[[nodiscard]] int bt_begin(BtStore& s);
// Completes the change (sums, sync, counter) and releases the lock. In sync
// mode a failed flush of the journal, data or index rolls the change back
// before its counter completes: kBtIoError (s.err), the file as before the
// change. A failed flush after the counter completed is kBtIoError too: the
// change stands but is not known to be on the disk. done, when given, runs
// with arg once the change is complete and before the change lock goes, so
// that what it releases (the hold of a record the change deleted) is free
// before any other change can see the change's result.
[[nodiscard]] int bt_commit(BtStore& s, void (*done)(void* arg) = nullptr, void* arg = nullptr);
// Undoes this process's change from the journal and releases the lock.
// kBtOk, or the failure of the rollback (the change then stays pending,
// and the next process to change the file rolls it back).
[[nodiscard]] int bt_abort(BtStore& s);
// Under the change lock: when the counter is odd, rolls the dead change
// back. Returns kBtOk, kBtDamaged (journal unusable) or kBtIoError (a flush
// failed: the counter stays odd, so that the rollback is made again).
[[nodiscard]] int bt_recover(BtStore& s);
// Reads the journal of the change the counter names (odd) without changing
// anything: kBtOk when it can be rolled back, kBtDamaged when an entry with
// a sound check sum names bytes outside its file (*bad: the entry's offset in
// the journal), which no rollback may copy.
[[nodiscard]] int bt_recover_check(BtStore& s, uint64_t* bad);
// Journals the data-file range (once per change for the 512-byte header).
[[nodiscard]] int bt_touch_data(BtStore& s, uint64_t off, uint32_t len);
// Makes the data file at least end bytes long.
[[nodiscard]] int bt_grow_data(BtStore& s, uint64_t end);

// ------------------------------------------------------------------ pages --
// A page for reading: bounds and check sum verified (pages changed by this
// process's change under way are taken as they are). nullptr when a check
// fails (kBtRetry for an unlocked reader, damage otherwise).
const uint8_t* bt_rpage(BtStore& s, uint32_t pg);
// A page for changing: journaled on first use in the change.
uint8_t* bt_wpage(BtStore& s, uint32_t pg);
// Verifies a page's check sum (for the analyser).
bool bt_page_ok(BtStore& s, uint32_t pg);
inline BtPageHdr& bt_ph(const uint8_t* p) { return *reinterpret_cast<BtPageHdr*>(const_cast<uint8_t*>(p)); }

// ------------------------------------------------------------------ trees --
// A position in a tree: the current entry, and where it lies while the file
// has not changed since (stamp: the counter value).
struct BtCursor {
  uint32_t page = 0;
  uint32_t idx = 0;
  uint64_t stamp = 1;  // odd: no cached position
  uint32_t rid = 0;
  uint32_t steps = 0;  // steps since the walk's seek (its read-ahead's clock)
  uint8_t key[kBtMaxKey];
};

// Positions at the first entry whose first n compared bytes are >= key
// (after: > key). kBtOk with the entry in c, kBtNotFound at the end, kBtRetry.
[[nodiscard]] int bt_seek(BtStore& s, int tree, const uint8_t* key, uint32_t n, bool after, BtCursor& c);
// The entry after c's. kBtOk, kBtNotFound, kBtRetry.
[[nodiscard]] int bt_step(BtStore& s, int tree, BtCursor& c);
// The values of the n entries from `ahead` places after c's on, as far as
// they lie in c's leaf and the kBtAheadLeaves - 1 leaves after it: their
// count. Hints for reading ahead in a walk, read without checks (the pages
// may be changing), never to be trusted.
constexpr int kBtAheadLeaves = 8;
uint32_t bt_ahead(const BtStore& s, int tree, const BtCursor& c, uint32_t ahead, uint32_t* out, uint32_t n);
// Inside a change: adds an entry (key_len bytes and the value); kBtDupKey
// when its compared bytes are present.
[[nodiscard]] int bt_insert(BtStore& s, int tree, const uint8_t* key, uint32_t rid);
// Inside a change: removes the entry with these compared bytes; its value
// in *rid. kBtNotFound when absent.
[[nodiscard]] int bt_erase(BtStore& s, int tree, const uint8_t* key, uint32_t* rid);
// Inside a change: as bt_erase of the entry key with value rid, taken at the
// place c found before the change began (a delete after the read of its
// record saves the descent). The place is used only when nothing changed
// since c was filled (its stamp is the counter the change began from), the
// leaf there holds exactly that entry, and keeps others; otherwise the tree
// is descended as bt_erase does.
[[nodiscard]] int bt_erase_at(BtStore& s, int tree, const uint8_t* key, uint32_t rid, const BtCursor& c);
// A hint for a change about to erase or insert key in tree: the internal
// pages are descended and every line of the leaf asked of the memory system,
// not waited for, so that the leaf arrives while other work goes on (a
// change reads all of it: its check sum at commit). Changes nothing; a page
// that fails its checks ends the hint.
void bt_prefetch_leaf(BtStore& s, int tree, const uint8_t* key);
// Inside a change: empties every tree and frees every page.
[[nodiscard]] int bt_clear(BtStore& s);

// Page allocation inside a change.
[[nodiscard]] int bt_alloc_page(BtStore& s, uint32_t* pg);
[[nodiscard]] int bt_free_page(BtStore& s, uint32_t pg);
