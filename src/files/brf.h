// Native record files: a data file and its B-tree index file (bt.h), shared
// by every engine process through one-byte fcntl locks and the change lock
// (a word lock in the index file, bt.h).
//
// Files. A native file of path P is three operating-system files: P, the
// data file; P.ix, the index file; P.jn, the journal of the change under way.
//
// Data file. A 512-byte file header (BrfFileHdr: record length, organisation,
// key descriptors, structure stamps, counts; the index file keeps a copy of
// it as it was when the index was written, for the rebuild), then the record slots, each a
// 12-byte slot header (BrfSlotHdr: state byte, length, write sequence), the
// record's bytes and a 4-byte trailer (CRC-32C of the slot's length, sequence
// and bytes), little-endian; the same framing as the engine's raw exports, so
// that a data file and an export differ only in byte order. A slot header of
// length 0 ends the records. States: 0 live record; 4 live record moved here
// from its home slot; 1 free space; 2 home slot of a moved record (its
// sequence word holds the record's current offset). A state with either of
// its two low bits set is not a live record.
//
// Record ids are the offset of the record's home slot in the data file (so
// data files are limited to 4 GiB). The slot header's last word holds the
// record's write sequence: duplicates of a key come back in write order
// (the sequence ends their index entries), and a hold remembers it, so that
// a hold that outlived its record never changes the record that took the
// slot. The header has room for 62 key segments in all (17 keys at most).
// Key bytes that lie past the end of a short variable-length record count as
// zero bytes. A fixed-length record never moves. A
// variable-length record that grows past its slot moves and leaves its home
// slot pointing at it, so its id never changes while it lives. Deleted slots
// go to the index's free-space tree (by size) and are reused, best fit,
// split when the rest can hold a slot of its own; a slot freed next to a free
// slot after it is merged with it, and a slot freed at the end shortens the
// file's records. In a file of fixed-length records every slot has the
// record's length, so best fit and merging buy nothing there: a deleted slot
// goes instead onto the free chain, where a delete writes anyway (its own
// slot header links the slot freed before it; the file header names the
// last one), and inserts take the last one freed first. Slots in the
// free-space tree (of files written before the chain) are reused after the
// chain's.
//
// Sharing. Opens lock byte 0 of the data file (the open byte): shared opens
// with a read lock, exclusive opens (share mode below 2) with a write lock, so
// a file held exclusively answers 200390. A user kept open for reading
// between uses (brf_keep) holds a read lock of byte 1 (the keep byte) instead
// of the open byte; exclusive opens take the keep byte too (write lock), and
// a scratch only the open byte: a scratch removes names, never a file's
// bytes, so it may go on while kept users read the file they opened (they look
// its name up again before their next use), while whatever may change a file
// in place or put another index under it waits for them. Record holds are kept in the index file's
// hold table (bt.h), which holds of one process never conflict in, so holds
// are also kept in the process's descriptor (200520: held by another handle of this
// process; 200530: locked by another process). The hold of a record ends
// with the change that deletes it, before the change lock is released: a
// hold let go after it would keep another process that reuses the record's
// slot at once (its own insert) from holding its new record. All handles of one process on
// one file share one descriptor (the descriptor cache): one set of open
// files and mappings, and so one set of locks, which a second open of the
// same file in the process could otherwise drop.
//
// Reading takes no lock while no change is under way (see bt.h); changes
// take the change lock for the few microseconds they last, and are
// undone as a whole if the changing process dies before the change is
// complete. A record hold is never waited for while the change lock is held.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "files/bt.h"
#include "foundation/record.h"

constexpr uint32_t kBrfHdrSize = 512;
constexpr uint32_t kBrfSlotHdr = 12;
constexpr uint32_t kBrfSlotOver = 16;   // slot header and trailer
constexpr uint32_t kBrfMaxRec = 32767;
constexpr int kBrfMaxKeys = 17;
constexpr int kBrfMaxSegs = 62;         // segments of all keys together
constexpr uint32_t kBrfMaxKeyLen = 255;

// ---------------------------------------------------------------- records --
struct BrfSeg {
  rec::U16 offset;
  rec::U16 length;
  rec::U8 type;   // 1 alpha, 8 binary (unsigned little-endian)
  rec::U8 order;  // '+' ascending, '-' descending
};
QV_RECORD(BrfSeg, 6);

struct BrfKeyDesc {
  rec::U8 key_no;     // the key's number
  rec::U8 flags;      // 1 duplicates allowed, 16 null keys (blank / zero) not entered (keys above 0)
  rec::U8 seg_first;  // first of its segments in the segment table
  rec::U8 seg_count;
};
QV_RECORD(BrfKeyDesc, 4);

struct BrfFileHdr {
  rec::U16 flags;       // raw-export flags: 0 (bit value 2 would select short lengths)
  rec::U16 short_mark;  // 0
  rec::Text<4> magic;   // "QVDF"
  rec::U16 version;     // 1
  rec::U16 hdr_size;    // 512
  rec::U16 rec_len;     // record length (the longest, for variable records)
  rec::U8 var;          // 1 variable-length records
  rec::U8 org;          // 2 no keys (write order), 3 keyed
  rec::U8 key_count;
  rec::U8 seg_count;
  rec::U16 spare0;
  rec::U32 stamp[2];    // structure stamp
  rec::U32 end;         // offset past the last slot
  rec::U32 live;        // live records
  rec::U32 dead;        // free slots and home slots of moved records
  rec::U32 free_bytes;  // bytes of the free slots' records
  rec::U32 next_seq;    // write sequence of the next record
  rec::U32 generation;  // also in the index file: the two belong together
  rec::U32 created;     // time of creation
  rec::U32 key_hash;    // hash of the key layout (also in the index file)
  rec::U32 free_chain;  // fixed-length records: the last slot put on the free chain, 0 none
  BrfKeyDesc keys[kBrfMaxKeys];
  BrfSeg segs[kBrfMaxSegs];
  rec::U32 next_gen;    // 0, or the generation of the index a rebuild is putting in place
  rec::U32 sum;         // CRC-32C of bytes 0..507
};
QV_RECORD(BrfFileHdr, 512);
QV_AT(BrfFileHdr, stamp, 20);
QV_AT(BrfFileHdr, end, 28);
QV_AT(BrfFileHdr, free_chain, 60);
QV_AT(BrfFileHdr, keys, 64);
QV_AT(BrfFileHdr, segs, 132);
QV_AT(BrfFileHdr, next_gen, 504);
QV_AT(BrfFileHdr, sum, 508);

struct BrfSlotHdr {
  rec::U8 state;
  rec::U8 spare;
  rec::U16 short_len;  // 0 (lengths are in len)
  rec::U32 len;        // record bytes (free slot, home slot: its room)
  rec::U32 seq;        // write sequence; home slot of a moved record: its offset;
                       // free slot: 0 in the free-space tree, else its link on the
                       // free chain (the slot put on it before, kBrfChainEnd none)
};
QV_RECORD(BrfSlotHdr, 12);
constexpr uint8_t kBrfLive = 0, kBrfFree = 1, kBrfHome = 2, kBrfMoved = 4;
constexpr uint32_t kBrfChainEnd = 1;  // never a slot's offset
inline bool brf_is_live(uint8_t state) { return (state & 3) == 0; }

// --------------------------------------------------------------- layouts --
struct BrfKeyDef {
  uint8_t key_no = 0;
  uint8_t flags = 0;  // kBrfKeyDup, kBrfKeyNullSupp
  std::vector<BrfSeg> segs;
  uint32_t len() const {
    uint32_t n = 0;
    for (const BrfSeg& s : segs) n += s.length.get();
    return n;
  }
};
constexpr uint8_t kBrfKeyDup = 1, kBrfKeyNullSupp = 16;

struct BrfLayout {
  uint16_t rec_len = 0;
  uint8_t var = 0;
  uint8_t org = 3;
  uint32_t stamp[2] = {0, 0};
  std::vector<BrfKeyDef> keys;
};

// ------------------------------------------------------------- statuses --
// Operations return 0 or a file-manager status (fm.h); a status 200650 has
// its reason in brf_error().
const std::string& brf_error();

// ------------------------------------------------------------ descriptors --
// One open native file in this process, shared by all its handles.
struct BrfFile {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  BtStore st;
  BrfLayout lay;
  uint32_t key_len[kBtTrees] = {};  // compared bytes per tree
  uint32_t key_hash = 0;
  int users = 0;
  int excl_users = 0;
  int kept_users = 0;               // users kept for reading (brf_keep)
  int open_lock = 0;                // byte 0 of the data file: 0 none (kept users only), 1 read, 2 write
  std::unordered_map<uint32_t, const void*> holds;  // record id -> holding handle
  // While a scattered pass is under way (fm_read_pass), records are read
  // through the data file instead of through its mapping (reads at
  // scattered places would each map a window of pages for one record):
  // into a cache of kBrfCopyBlocks blocks of kBrfCopyBlock bytes of the
  // file, valid while the file's change counter stays at `counter`, and
  // from there into `slot`.
  struct Copies {
    std::unique_ptr<uint8_t[]> mem;                  // the blocks
    std::unordered_map<uint32_t, uint32_t> where;    // block of the file -> its place
    std::vector<uint32_t> page;                      // place -> block of the file
    std::vector<uint16_t> have;                      // place -> bytes read (the file may end in it)
    std::vector<uint8_t> used;                       // place -> read since the hand last passed
    uint32_t hand = 0;
    uint64_t counter = 1;                            // odd: nothing held
    std::vector<uint8_t> slot;
  } copy;
  // A walk meeting its records in the data file's order (a reorganised
  // file) maps the file ahead of it kBrfMapAhead bytes at a time: the place
  // the read-ahead last asked for, how many steps in a row went a little
  // forward from there, and the end of what was mapped so.
  struct Ahead {
    uint32_t last = 0;
    uint32_t run = 0;
    uint64_t mapped = 0;
  } ahead;
};
constexpr uint32_t kBrfMapAhead = 1 << 20;
constexpr uint32_t kBrfMapAheadRun = 16;  // steps in a row that make a walk in file order
constexpr uint32_t kBrfCopyBlock = 1024;   // a few records: little read for one
constexpr uint32_t kBrfCopyBlocks = 4096;  // 4 MiB

// Layout checks (for create and the structure check).
bool brf_layout_ok(const BrfLayout& lay, std::string* why);
bool brf_layout_equal(const BrfLayout& a, const BrfLayout& b);

uint32_t brf_create(const std::string& path, const BrfLayout& lay, bool exclusive, BrfFile** out);
// Opens (or shares the descriptor of) a native file. exclusive: hold it
// alone (200390 when anyone else has it open, in this process or another).
uint32_t brf_open(const std::string& path, bool exclusive, BrfFile** out);
// Drops one user (kept: one that brf_keep made a kept user); the last one
// closes the files (and so every lock of this process on them).
void brf_close(BrfFile* f, bool exclusive, bool kept = false);
// Makes one shared user of the file a kept user: it holds the keep byte, and
// the open byte goes when no other user of this process needs it. 0, or
// 200650 (an exclusive user, or the lock refused).
uint32_t brf_keep(BrfFile* f);
constexpr uint64_t kBrfOpenByte = 0, kBrfKeepByte = 1;
uint32_t brf_scratch(const std::string& path);
uint32_t brf_rename(const std::string& from, const std::string& to);
bool brf_exists(const std::string& path);
std::string brf_index_path(const std::string& path);
std::string brf_journal_path(const std::string& path);
// Open descriptors in this process (diagnostics).
size_t brf_open_files();

// ------------------------------------------------------------------- keys --
// Normalized key of a record of len bytes for a tree (key_len[tree] bytes;
// the sequence of a duplicates tree taken from seq; key bytes past len read
// as zero). False when the key is not entered (null-suppressed and null).
bool brf_key_of(const BrfFile* f, int tree, const uint8_t* rec, uint32_t len, uint32_t seq, uint8_t* out);

// ---------------------------------------------------------------- records --
struct BrfRead {
  uint8_t* buf = nullptr;   // receives the record (up to cap bytes)
  uint32_t cap = 0;
  uint32_t len = 0;         // out: the record's length
  uint32_t rid = 0;         // out: its id
  uint32_t seq = 0;         // out: its write sequence
};

// By record id. 200450 when there is no live record with that id.
uint32_t brf_read_rid(BrfFile* f, uint32_t rid, BrfRead& r);
// The first record at or after (after: past) the given normalized key
// prefix in a tree; cursor left on it. 200450 / 200360 when none (exact
// asks for the prefix to match).
enum class BrfSeek { Exact, AtLeast, After };
uint32_t brf_seek(BrfFile* f, int tree, const uint8_t* key, uint32_t n, BrfSeek how, BtCursor& c,
                  BrfRead& r);
// The record after the cursor's entry; 200360 at the end.
uint32_t brf_next(BrfFile* f, int tree, BtCursor& c, BrfRead& r);

// Holds: owner is the handle holding. wait_secs as uio_lock. 0, 200520,
// 200530 or 200660 (wait limit passed, or the user cancelled the wait).
uint32_t brf_hold(BrfFile* f, const void* owner, uint32_t rid, int wait_secs);
void brf_unhold(BrfFile* f, const void* owner, uint32_t rid);

// Changes. len: the record's length (fixed files: the record length).
// seq, when not 0, is the write sequence of the record the caller held: a
// different record now at that id (its slot freed and reused meanwhile, as
// by brf_remove_all) answers 200450 instead of being changed.
uint32_t brf_insert(BrfFile* f, const uint8_t* rec, uint32_t len, uint32_t* rid);
uint32_t brf_update(BrfFile* f, uint32_t rid, const uint8_t* rec, uint32_t len, uint32_t seq = 0);
// at, when given: the cursor on the record's entry in tree as the read of
// the record left it (its place is reused when nothing changed since).
uint32_t brf_remove(BrfFile* f, uint32_t rid, uint32_t seq = 0, int tree = -1, const BtCursor* at = nullptr);
uint32_t brf_remove_all(BrfFile* f);

// The compared bytes of a record's entry in a tree (brf_key_of with the
// record's sequence); false when the record is not entered there.
inline bool brf_entry_of(const BrfFile* f, int tree, const BrfRead& r, uint8_t* out) {
  return brf_key_of(f, tree, r.buf, r.len, r.seq, out);
}

// Counts from the file header.
struct BrfCounts {
  uint32_t live = 0, dead = 0, free_bytes = 0, end = 0;
};
BrfCounts brf_counts(BrfFile* f);

// The header's check sum (for the analyser and tests).
uint32_t brf_hdr_sum(const BrfFileHdr& h);
uint32_t brf_slot_sum(const uint8_t* slot, uint32_t len);
uint32_t brf_key_hash(const BrfLayout& lay);
// Decodes a data file header into a layout; false when it is not sound.
bool brf_decode_hdr(const BrfFileHdr& h, BrfLayout* lay, std::string* why);
void brf_tree_defs(const BrfLayout& lay, BtTreeDef defs[kBtTrees]);
// The copy of the data file's header that its index file keeps (BtHdr
// data_hdr, written with every index since copies were kept): false when
// there is none or it is not sound.
bool brf_hdr_copy(const BtHdr& ih, BrfFileHdr* out, BrfLayout* lay);

// A rebuild puts its new index in place in three steps: the data file's
// header names the new index's generation in next_gen, the new index (which
// keeps the rebuilt header as its copy) is renamed into place, and the header
// is taken from that copy. A rebuild killed between the last two leaves a
// header whose next_gen names the index in place: whoever may write the file
// completes the step (here, in one journaled change of the store's files).
// kBtOk when it was completed, kBtNotFound when nothing waits, kBtBusy when
// this store may not write, else the change's failure.
[[nodiscard]] int brf_finish_rebuild(BtStore& s);

// Reorganisation: the file's records written anew in the order of its first
// key (a file without keys: in write order), packed from the header on, each
// with its write sequence, so that a walk in that order reads the data file
// from start to end. Record ids change; free space and moved records are
// gone. It needs the file to itself (200390 while anyone else has it open,
// for the whole time it runs). The new data file, index and journal are
// written beside the old ones (P.rg, P.ix.rg, P.jn.rg) under a new
// generation, the index keeping the new header as its copy, then renamed
// into place: the data file, the journal, the index. A reorganisation killed
// before the data file's rename leaves the old file as it was (and its
// temporary files, which the next one replaces); killed after it, the new
// data file stands beside an index of the old generation, and whoever may
// write the file completes the renames when opening it (the waiting index
// is taken only when its copy of the header is the data file's header).
struct BrfReorganised {
  uint32_t records = 0;
  uint64_t size_before = 0, size_after = 0;  // of the data file
};
uint32_t brf_reorganise(const std::string& path, BrfReorganised* out = nullptr);
std::string brf_reorg_path(const std::string& path);  // where the new one is written (P.rg)

// ------------------------------------------------------ for the analyser --
// Sets brf_error() and returns the status.
uint32_t brf_fail(uint32_t status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Opens the data file and locks its open byte (exclusive: write lock, and
// the keep byte too).
uint32_t brf_open_data(const std::string& path, bool exclusive, int* fd, bool* writable, struct stat* st);
// Writes fresh index and journal files for a data file's header: new files,
// made exclusively after whatever held the names was removed (never written
// through, so a link planted there is replaced, not followed), of the given
// mode (uio_create). With keep, the two files stay open, their descriptors
// in keep[0] and keep[1]: a caller that goes on writing them never opens
// them again by name, which another user may have taken over meanwhile.
uint32_t brf_format_index(const std::string& ipath, const std::string& jpath, const BrfFileHdr& hdr,
                          const BrfLayout& lay, int mode, int* keep = nullptr);
// Whether path still names the file open at fd (not replaced since).
bool brf_still_named(int fd, const std::string& path);
// Whether this process has the file open.
bool brf_is_open(const std::string& path);

// ---------------------------------------------- the file manager's back end --
// The native back end's handler table (back-end type FM_BE_NATIVE), and the
// back-end choice that goes with it: the file manager's rule, except that a
// disk file described without keys is opened natively when a native data
// file is there.
struct FmHandlers;
struct FmFdb;
extern const FmHandlers brf_handlers;
uint8_t brf_chooser(const FmFdb* fdb);
// Whether the file at path is a native data file.
bool brf_is_native_file(const std::string& path);
