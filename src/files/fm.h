// The file manager: the one record interface of the engine.
//
// Every file of the system, whatever holds it, is reached through the same
// records and operations:
//
//   FmFdb   file descriptor block: what a caller fills (through a catalogue
//           builder such as INIT_DELEM_FDB, or INIT_FDB + an identity
//           builder) before FM_CREATE / FM_OPEN / FM_SCRATCH / fm_locate;
//           the open leaves the access handle in its handle slot and every
//           failure leaves its status there.
//   FmKdb   key descriptor (12 bytes in an array), FmSdb segment (8 bytes).
//   FmArb   access request block: the handle of an open file or of a stream
//           attached to it. The caller sets the operation word, key number,
//           key, record buffer and length; the file manager leaves the status.
//   FmScb   stream control blocks handed to FM_ATTACH (key range, query,
//           key constraints).
//   FmHandlers  the operations of one back end in the fixed 23-slot order.
//
// Every operation answers 1 (success) or 0 (failure, with a six-digit status
// in the ARB or the FDB; the texts are messages of the runtime application).
// Nothing fails silently: bad input (a key longer than its descriptor, a
// record longer than the file's, an unknown key number, path type or back
// end, a missing QUVOPATH) gives status 200650, and the reason is the current
// system-error text (la_sys_err), which the message of 200650 shows.
//
// Memory: the 4-byte address slots of these records (key pointer, record
// buffer, key-descriptor array, segment array, handle slot, control-block
// chains) are Ref<T>, offsets into the engine arena. Everything a caller
// points a slot at must therefore be arena memory: take record buffers, key
// buffers, KDB/SDB arrays and control blocks from a pool (MM_ALLOC). An FDB
// itself may live anywhere (nothing keeps a reference to it); the file
// manager copies the key and segment descriptors when the file is opened,
// so the caller's arrays need live only for the call.
//
// Scopes: a file or stream belongs to the recovery scope it was opened,
// created or attached in, and is closed when that scope ends. A memory-
// resident file (with all its records) belongs to the scope it was created
// in (or, with open option FM_OPT_MEMORY, to the scope of the pool named by
// FDB word 0) and disappears when that scope ends or when it is scratched.
// An identity has at most one memory file per scope: a create in a scope
// without one makes the scope's own file, even when an outer scope has one;
// an open (and a locate or scratch) reaches the innermost file the asking
// scope sees, its own or the nearest outer one's (fms.cpp gives the rule);
// a close with FM_CL_SCRATCH removes the file its handle reached.
// Closed handles are kept, marked closed, until their scope ends: an
// operation on one fails with 200480 (no current stream) instead of touching
// freed memory.
//
// Settled meanings (the two ways the byte has been described):
//   - `fclass` (file class, byte 44): 1 disk file, 2 memory-resident file.
//     INIT_FDB's second argument is the file class.
//   - `org` (organisation, byte 45): 1 single record, 2 no keys (records by
//     record number, in write order), 3 keyed. INIT_FDB sets 2 for a key
//     count of 0 and 3 otherwise; a caller may set 1 afterwards.
//   - The path type is part of the file identity, at byte 25 (the identity
//     is the first 28 bytes: scope word, application, version, name,
//     database, source application and version, path type, two spare bytes),
//     as the file list and transfer records lay it out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/mm.h"
#include "foundation/record.h"
#include "foundation/ut.h"

// ------------------------------------------------------------- statuses --
constexpr uint32_t FM_ST_NO_INITIAL = 200130;   // no record image for fm_cache
constexpr uint32_t FM_ST_EXISTS = 200160;       // create of an existing file
constexpr uint32_t FM_ST_DUP_KEY = 200170;      // duplicate key
constexpr uint32_t FM_ST_NO_RENAME = 200330;    // rename refused by the back end
constexpr uint32_t FM_ST_NOT_FOUND = 200340;    // file not found
constexpr uint32_t FM_ST_QRY_RECORD = 200350;   // record of a query stream
constexpr uint32_t FM_ST_EOF = 200360;          // end of file or of range
constexpr uint32_t FM_ST_LEVEL_END = 200370;    // end of a sort level
constexpr uint32_t FM_ST_BUSY = 200390;         // file held exclusively
constexpr uint32_t FM_ST_NO_RECORD = 200450;    // record not found
constexpr uint32_t FM_ST_SCRATCH_OPEN = 200470; // scratch of an open file
constexpr uint32_t FM_ST_NO_STREAM = 200480;    // closed or unknown handle
constexpr uint32_t FM_ST_NO_SYSDIR = 200490;    // SYSDIR entry missing
constexpr uint32_t FM_ST_HELD_SELF = 200520;    // held by another handle here
constexpr uint32_t FM_ST_LOCKED = 200530;       // locked by another user
constexpr uint32_t FM_ST_NOT_STARTED = 200540;  // read next without position
constexpr uint32_t FM_ST_NOT_HELD = 200580;     // no record held
constexpr uint32_t FM_ST_TOO_LONG = 200590;     // record longer than the buffer
constexpr uint32_t FM_ST_LEVEL_START = 200620;  // start of a sort level
constexpr uint32_t FM_ST_STRUCT = 200630;       // structure differs
constexpr uint32_t FM_ST_SYS = 200650;          // other system error (text: la_sys_err)
constexpr uint32_t FM_ST_LOCK_TIMEOUT = 200660; // lock wait timed out

// --------------------------------------------------------- option words --
// Open and create options (FDB `options`, FM_OPEN / FM_CREATE argument).
constexpr uint32_t FM_OPT_MEMORY = 0x1;       // FDB word 0 is the owning pool id
constexpr uint32_t FM_OPT_CREATE = 0x2;       // open: create when missing; create: open when present
constexpr uint32_t FM_OPT_NO_STRUCT = 0x80;   // no structure check
constexpr uint32_t FM_OPT_BASE = 0x200;       // 512, set by every open
constexpr uint32_t FM_OPT_NO_SYSDIR = 0x800;  // a missing SYSDIR entry is allowed
constexpr uint32_t FM_OPT_NEXT_PATH = 0x40000;  // byte 50 bit value 4: fm_set_next_path applies

// Operation word of an ARB.
constexpr uint16_t FM_OP_RID = 1;        // by record id (re-read)
constexpr uint16_t FM_OP_KEY = 2;        // key given by key pointer and length
constexpr uint16_t FM_OP_FIRST = 4;      // first record of the key
constexpr uint16_t FM_OP_EQUAL = 8;      // exact key
constexpr uint16_t FM_OP_GE = 16;        // read: key >= given; start (with 32): key > given
constexpr uint16_t FM_OP_AT = 32;        // start at the key given (34 = 32 | 2)
constexpr uint16_t FM_OP_HOLD = 64;      // hold the record read
constexpr uint16_t FM_OP_WAIT = 128;     // with 64: wait for a lock
constexpr uint16_t FM_OP_FAST = 0x100;   // fast buffer: the record itself / store by reference
// Close options (FM_CLOSE).
constexpr uint16_t FM_CL_SCRATCH = 512;  // remove the file after the close
constexpr uint16_t FM_CL_KEEP = 1024;    // keep (a written sequential or temporary file)
constexpr uint16_t FM_CL_NO_EVENT = 2048;  // the file's event process is not ended

// Path types (file identity byte 25).
enum FmPathType : uint8_t {
  FM_PT_DATA = 1, FM_PT_STRUCT = 2, FM_PT_MOD = 3, FM_PT_DBG = 4, FM_PT_PORT = 5,
  FM_PT_PRINT = 6, FM_PT_SESS = 7,
};
// File class (FDB byte 44) and organisation (byte 45).
constexpr uint8_t FM_CLASS_DISK = 1, FM_CLASS_MEMORY = 2;
constexpr uint8_t FM_ORG_SINGLE = 1, FM_ORG_PLAIN = 2, FM_ORG_KEYED = 3;
// FDB `kind` (byte 43): how the identity was named.
constexpr uint8_t FM_KIND_NAMED = 0, FM_KIND_UNIQUE = 1, FM_KIND_TEMP = 2;

constexpr size_t FM_MAX_KEYS = 17;
constexpr size_t FM_MAX_KEY_LEN = 255;
constexpr size_t FM_MAX_REC = 32767;

// -------------------------------------------------------------- records --
// Key segment: one field of a key.
struct FmSdb {
  rec::U16 field;   // field number
  rec::U16 offset;  // offset in the record
  rec::U16 length;
  rec::U8 type;     // 1 alpha (byte order), 8 binary (unsigned little-endian of 1-8 bytes)
  rec::U8 order;    // '+' ascending, '-' descending
};
QV_RECORD(FmSdb, 8);
constexpr uint8_t FM_SEG_ALPHA = 1, FM_SEG_BINARY = 8;

// Key descriptor.
struct FmKdb {
  rec::U8 key_no;   // key number (0 primary)
  rec::U8 order;    // '+' ascending, '-' descending (the key's own order character)
  rec::U16 key_len; // sum of the segment lengths
  rec::U8 flags;    // FM_KEY_* below
  rec::U8 seg_count;
  rec::U16 spare;
  Ref<FmSdb> segs;  // seg_count segments
};
QV_RECORD(FmKdb, 12);
QV_AT(FmKdb, key_len, 2);
QV_AT(FmKdb, flags, 4);
QV_AT(FmKdb, segs, 8);
constexpr uint8_t FM_KEY_DUP = 1;       // duplicates allowed
constexpr uint8_t FM_KEY_KIND2 = 2;     // key kind 2 of the dictionary (carried)
constexpr uint8_t FM_KEY_PRIMARY = 4;   // key number 0
constexpr uint8_t FM_KEY_DESC = 8;      // carried from INIT_KDB's 8/9 (no meaning here)
constexpr uint8_t FM_KEY_NULL_SUPP = 16;  // a record whose key is all blanks is not
                                          // entered in this key (keys above 0 only)

struct FmArb;

// File descriptor block (72 bytes; the compiled file record and the file
// lists of suspended processes carry it whole).
struct FmFdb {
  rec::U32 pool;          // word 0: the owning pool of a memory file (FM_OPT_MEMORY) / scope word
  rec::Text<3> app;       // application
  rec::Text<2> ver;       // version
  rec::Text<8> name;      // file name
  rec::Text<3> db;        // database id
  rec::Text<3> src_app;   // source application (dictionary files)
  rec::Text<2> src_ver;   // source version
  rec::U8 path_type;      // FmPathType
  rec::Bytes<2> spare0;
  rec::U16 rec_len;       // record length (the maximum for variable records)
  rec::U8 key_count;
  rec::U8 flags;          // 2 and 4: flags of the file's definition (carried)
  Ref<FmKdb> kdb;         // key descriptor array (key_count entries)
  rec::U32 expect;        // FM_CREATE: expected records / directory options word
  rec::U16 scope;         // out: the scope the file belongs to
  rec::U8 var;            // 1 variable-length records
  rec::U8 kind;           // FM_KIND_*
  rec::U8 fclass;         // file class: 1 disk, 2 memory-resident
  rec::U8 org;            // organisation: 1 single record, 2 no keys, 3 keyed
  rec::U8 access;         // 1 read, 2 write, 4 rewrite, 8 delete (0 = all)
  rec::U8 share;          // share mode (15 shared; below 2 exclusive; memory-resident
                          // files are the process's own and take any share mode)
  rec::U32 options;       // open / create options (FM_OPT_*)
  rec::U32 stamp[2];      // structure stamp; all ones = not checked
  Ref<FmArb> handle;      // out: the access handle
  rec::U32 status;        // out: status of the last failed operation
  rec::I32 os_err;        // out: errno of the last failed system call
};
QV_RECORD(FmFdb, 72);
QV_AT(FmFdb, app, 4);
QV_AT(FmFdb, ver, 7);
QV_AT(FmFdb, name, 9);
QV_AT(FmFdb, db, 17);
QV_AT(FmFdb, src_app, 20);
QV_AT(FmFdb, src_ver, 23);
QV_AT(FmFdb, path_type, 25);
QV_AT(FmFdb, rec_len, 28);
QV_AT(FmFdb, kdb, 32);
QV_AT(FmFdb, var, 42);
QV_AT(FmFdb, fclass, 44);
QV_AT(FmFdb, org, 45);
QV_AT(FmFdb, access, 46);
QV_AT(FmFdb, share, 47);
QV_AT(FmFdb, options, 48);
QV_AT(FmFdb, stamp, 52);
QV_AT(FmFdb, handle, 60);
QV_AT(FmFdb, status, 64);
constexpr size_t FM_PATH_LEN = 28;  // word 0 and the identity: fm_path

// Stream control blocks: a chain handed to FM_ATTACH.
//   type 1  key range on one key (a key prefix is a range with equal bounds)
//   type 2  query (the file manager's copy of a type 3 block): the stream
//           goes to the query engine's attach hook (fm_set_query_attach)
//   type 3  query applied to a process's own file
//   type 4  key constraints: the stream delivers only records whose fields
//           hold the constraint values
constexpr uint32_t FM_SCB_RANGE = 1, FM_SCB_QUERY = 2, FM_SCB_PCF_QUERY = 3, FM_SCB_CNS = 4;
struct FmScb {
  rec::U32 type;
  Ref<FmScb> next;
};
QV_RECORD(FmScb, 8);

// Type 1: a key range. A bound of length 0 is open. Range byte 16 makes the
// bound exclusive (greater than / less than), 0 inclusive. Bounds shorter
// than the key compare as prefixes. The range and the constraints (type 4)
// judge the record a read delivered, len_read bytes of it: key and field
// bytes past the end of a short record count as zero bytes, as in the keys
// the file keeps. So every back end sets len_read on every read that
// delivers a record, fast or not, and a query stream also on a level event
// (the length of the record then in the buffer, the one read ahead).
struct FmScbRange {
  FmScb head;
  rec::U8 key_no;
  rec::U8 lo_range;
  rec::U8 hi_range;
  rec::U8 spare;
  rec::U16 lo_len;
  rec::U16 hi_len;
  Ref<uint8_t> lo_key;
  Ref<uint8_t> hi_key;
};
QV_RECORD(FmScbRange, 24);

// Types 2 and 3: a query.
struct FmScbQuery {
  FmScb head;
  rec::U32 scope;         // scope of the active query and its pool
  rec::Text<3> app;       // application of the query process
  rec::Text<2> ver;       // version it is looked up under
  rec::Text<30> name;     // query process name
  rec::U8 inv99;          // invocation byte 99, carried
  rec::U8 level_events;   // 1: the stream reports level starts and ends
  rec::U8 reuse;          // 0 reuse, 1 if compatible, 2 rebuild, 3 constrain (4 internal)
  rec::Bytes<2> spare;
};
QV_RECORD(FmScbQuery, 52);
QV_AT(FmScbQuery, app, 12);

// Type 4: key constraints.
struct FmCns {
  rec::U16 id;       // identifier
  rec::U16 offset;   // offset of the field in the record
  rec::U16 length;
};
QV_RECORD(FmCns, 6);
struct FmScbCns {
  FmScb head;
  rec::U32 len;        // total length of the concatenated values
  Ref<uint8_t> values;
  rec::U32 count;      // constraints used
  Ref<FmCns> entries;  // count entries, in the order of the values
};
QV_RECORD(FmScbCns, 24);

struct FmFile;

// Access request block: the handle of an open file or an attached stream.
struct FmArb {
  rec::U16 op;            // operation word (FM_OP_*, close options)
  rec::U16 rec_len;       // record length: 0 = the file's; write of a variable record: its length;
                          // read: the buffer's size when not 0
  Ref<uint8_t> rec;       // record buffer
  rec::U32 rid;           // record id (1 for a single-record file)
  rec::U8 key_no;         // key number
  rec::U8 range;          // start: 16 = strictly greater (operation 50)
  rec::U16 key_len;       // key length (FM_OP_KEY, starts at a key)
  Ref<uint8_t> key;       // key pointer
  rec::I32 lock_wait;     // lock-wait seconds, -1 none
  rec::U32 status;        // status of the last operation (0 after success)
  rec::U32 level;         // query streams: the level number of a level event
  rec::I32 os_err;        // errno of the last failed system call
  rec::U16 len_read;      // length of the record read
  rec::U16 rid_len;       // length of the record id (4; query streams: their id's length)
  Ref<uint8_t> rid_ext;   // query streams: the id bytes when not the u32 above
  rec::U16 limit;         // partial-key limit handed on by query streams
  rec::U8 state;          // FM_HS_*
  rec::U8 fns;            // index of the handler table (fm_register_handlers)
  Ref<FmFile> file;       // the file block shared by the file's handles
  Ref<void> priv;         // the back end's private block
  rec::U32 priv_size;
  rec::U16 scope;         // the scope the handle belongs to
  rec::U8 cur_key;        // key of the current position
  rec::U8 hflags;         // file manager's own flags
  rec::Text<3> lang_from; // fm_set_lang
  rec::Text<3> lang_to;
  rec::U16 spare;
  UtLink link;            // in the file's list of handles
  Ref<FmScb> scb;         // copy of the control-block chain of an attach
  rec::U32 be_id;         // back end's own number for the handle
  Ref<FmArb> parent;      // the handle a stream was attached to
  rec::U32 fm_id;         // the file manager's own number for the handle
};
QV_RECORD(FmArb, 96);
QV_AT(FmArb, rec, 4);
QV_AT(FmArb, rid, 8);
QV_AT(FmArb, key, 16);
QV_AT(FmArb, status, 24);
QV_AT(FmArb, level, 28);
QV_AT(FmArb, file, 48);
constexpr uint8_t FM_HS_CLOSED = 0, FM_HS_OPEN = 1, FM_HS_STREAM = 2, FM_HS_QUERY = 3;

// The fields of a handle that a call changes for one inner call (operation,
// key and record with their lengths, range, key number), put back when the
// keeper goes, also on an unwind. A null handle keeps nothing.
struct FmArbKeep {
  FmArb* a;
  uint16_t op = 0, key_len = 0, rec_len = 0;
  Ref<uint8_t> key, rec;
  uint8_t range = 0, key_no = 0;
  explicit FmArbKeep(FmArb* arb) : a(arb) {
    if (!a) return;
    op = a->op;
    key_len = a->key_len;
    rec_len = a->rec_len;
    key = a->key;
    rec = a->rec;
    range = a->range;
    key_no = a->key_no;
  }
  ~FmArbKeep() {
    if (!a) return;
    a->op = op;
    a->key_len = key_len;
    a->rec_len = rec_len;
    a->key = key;
    a->rec = rec;
    a->range = range;
    a->key_no = key_no;
  }
  FmArbKeep(const FmArbKeep&) = delete;
  FmArbKeep& operator=(const FmArbKeep&) = delete;
};

// File block: one per open of a file, shared by the streams attached to it.
struct FmFile {
  FmFdb fdb;              // the descriptor the file was opened with (handle slot cleared)
  rec::U32 use;           // handles open on it (the open handle and its streams)
  rec::U8 backend;        // back-end type
  rec::U8 fns;            // handler table index
  rec::U16 scope;
  Ref<void> priv;         // back end's private block
  Ref<FmKdb> kdb;         // copy of the key descriptors (segments copied too)
  UtList handles;         // the open handle and its streams
  Ref<void> evt;          // the file's event process (process manager), none when 0
  rec::U32 be_id;         // back end's own number for the file
  rec::U32 flags;
  rec::Bytes<4> spare;
};
QV_RECORD(FmFile, 112);

// ------------------------------------------------------ handler tables --
// The operations of one back end, in the fixed slot order. Record slots take
// (caller's ARB, stream): the handle the caller passed and the handle the
// operation runs on (the same ARB unless a back end forwards to another).
// Slots that work on a file rather than a handle take the file block or the
// FDB. A null slot is an operation the back end does not offer (status 200650).
using FmRecFn = int (*)(FmArb* req, FmArb* strm);
struct FmName {
  const char* text;
  size_t len;
};
struct FmHandlers {
  uint32_t type;                                 // back-end type
  int (*alloc_fi)(FmFile* f);                    // 1  private part of a new file block
  int (*alloc_id)(FmArb* a);                     // 2  private part of a new handle
  FmRecFn attach;                                // 3  a new stream (strm) on req's file
  int (*create)(FmArb* a);                       // 4  create and open a->file->fdb
  FmRecFn close;                                 // 5  close options in req->op
  void* empty6;                                  // 6
  FmRecFn del;                                   // 7
  FmRecFn detach;                                // 8
  void* empty9;                                  // 9
  void (*free_fi)(FmFile* f);                    // 10
  void (*free_id)(FmArb* a);                     // 11
  int (*locate)(FmFdb* fdb);                     // 12 1 when the file exists, else status in fdb
  int (*nam)(FmArb* a, FmName* out);             // 13 operating-system name of the open file
  int (*open)(FmArb* a);                         // 14 open a->file->fdb
  FmRecFn rdnxt;                                 // 15
  FmRecFn read;                                  // 16
  FmRecFn release;                               // 17
  FmRecFn relocate;                              // 18 (reserved)
  int (*rename)(FmFdb* from, FmFdb* to);         // 19 status in `to`
  FmRecFn rewrite;                               // 20
  int (*scratch)(FmFdb* fdb);                    // 21
  FmRecFn start;                                 // 22
  FmRecFn write;                                 // 23
  // Beyond the 23 slots: operations the file manager uses for itself.
  FmRecFn del_all;                               // delete every record in the stream's range (null: by reads)
  uint8_t* (*fast)(FmArb* a);                    // address of the current record itself (memory files)
  void (*pass)(FmArb* a, int how);               // fm_read_pass (null: nothing to do)
};

// Back-end types.
constexpr uint8_t FM_BE_NATIVE = 1, FM_BE_MEMORY = 2, FM_BE_SEQ = 3, FM_BE_REMOTE = 4,
                  FM_BE_QUERY = 5;
// Registers a handler table; returns its index (kept in ARBs). The same table
// registered twice keeps its index.
int fm_register_handlers(const FmHandlers* fns);
const FmHandlers* fm_handlers(int index);
// Makes a back end the one for its type (native, sequential, remote ...).
void fm_register_backend(uint8_t type, const FmHandlers* fns);
const FmHandlers* fm_backend(uint8_t type);  // null when none is registered
// Chooses the back end of a described file: class 2 memory; class 1 without
// keys sequential; class 1 with keys native. A back end may replace the rule.
using FmChooser = uint8_t (*)(const FmFdb* fdb);
void fm_set_chooser(FmChooser chooser);
uint8_t fm_default_chooser(const FmFdb* fdb);
// Points a stream at another handler table (the query engine's attach).
void fm_set_handlers(FmArb* a, const FmHandlers* fns);

// ------------------------------------------------------- hooks (later) --
// The query engine: attaches a stream whose control block has type 2 and
// returns the active query, or null with the status in the request. While no
// engine is installed such an attach fails with 200650.
using FmQueryAttach = void* (*)(FmArb* request, FmArb* stream, FmScb* constraints);
void fm_set_query_attach(FmQueryAttach fn);
// The file event process driver of the process manager. end_proc runs, in a
// recovery scope, at the last close of a file that has an event process.
struct FmEventProcs {
  int (*post_read)(FmArb* a);
  int (*pre_upd)(FmArb* a);
  int (*post_upd)(FmArb* a);
  int (*start_proc)(FmArb* a);
  int (*end_proc)(FmFile* f);
};
void fm_set_event_procs(const FmEventProcs* procs);
void fm_set_event_proc(FmArb* a, void* evt);  // gives the file an event process
// Field translation: the conversion layer's tables (cv_xlate_text) unless
// replaced; nullptr puts them back.
using FmXlate = int (*)(const char* table, const char* lang, char* text, size_t len,
                        const char* app, const char* ver);
void fm_set_xlate(FmXlate fn);

// ----------------------------------------------------------- start-up --
// Starts the file manager (called by os_init; safe to call again).
void fms_init();
// Gives the foundation the file services it reaches through hooks: the
// message catalogue and queue files (la_set_files), the TOKEN files
// (cv_set_token_files), the path of a described file (ss_set_os_path) and
// the records of memory files (macros_set_record). The file manager's start
// calls it; so does la_register, for messages looked up before the start.
void fm_serve_foundation();
// Closes every file and forgets every memory file (tests, engine end).
void fm_shutdown();

// ------------------------------------------------------- descriptors --
extern const FmFdb fm_fdb;   // default FDB (INIT_FDB starts from it)
extern const FmArb fm_fad;   // default ARB
extern const FmKdb fm_kdb;   // default KDB
void INIT_FDB(FmFdb* fdb, int fclass, int rec_len, int var, FmKdb* kdb, int key_count);
// The variant with a key-descriptor record number (compiled file references):
// the number is kept in the kdb slot until the caller puts the array there.
void INIT_FDB_NUM(FmFdb* fdb, int fclass, int rec_len, int var, uint32_t kdb_rec, int key_count);
void INIT_KDB(FmKdb* kdb, int key_no, int order, int flags, FmSdb* segs, int seg_count);
FmSdb* init_sdb_func(FmSdb* sdb, int field, int offset, int length, int type, int order);

// Identity builders.
// A unique memory work file of the session by two 2-character codes; a file
// code longer than two characters (" IFNS   ") is kept whole as the name.
void INIT_UNIQUE_PATH(FmFdb* fdb, const char* area, const char* code, int path_type);
void INIT_SRC_PATH(FmFdb* fdb, const char* app, const char* ver, const char* name, int path_type);
void INIT_SA_PATH(FmFdb* fdb, const char* name, int path_type);
void INIT_LA_PATH(FmFdb* fdb, const char* ver, const char* name, int path_type);
void INIT_DB_PATH(FmFdb* fdb, const char* db, const char* app, const char* ver, const char* name,
                  int path_type);
// INIT_TMP_PATH (and the query work-file builders) note the scope in the
// FDB's scope field; the file belongs to the scope FM_CREATE is given, so
// callers give the same one (a saved descriptor is loaded into the scope
// fm_load_fi is given, whatever it noted).
void INIT_TMP_PATH(FmFdb* fdb, const char* app, const char* ver, const char* name, int scope);

// ----------------------------------------------------------- paths --
// The operating-system path of a described file: 1 and the path, or 0 with
// the status in the FDB (200650: QUVOPATH missing, unknown path type). Path
// templates come from the environment (QUVO_PATH_<TYPE>), see fmfi.cpp.
int fm_os_path(FmFdb* fdb, std::string* path);
// A path given for the next open or create (the 4GL next-path field); taken
// by the next operation whose FDB carries FM_OPT_NEXT_PATH.
void fm_set_next_path(const char* path);

// -------------------------------------------------------------- files --
int FM_CREATE(FmFdb* fdb, int scope, uint32_t expect, uint32_t options, int access, int share);
int FM_OPEN(FmFdb* fdb, int scope, uint32_t options, int access, int share);
// fm__open and fm__create take a filled or restored descriptor as it is:
// its own options, access and share bytes; the second argument is the scope.
int fm__open(FmFdb* fdb, int scope);
int fm__create(FmArb** out, FmFdb* fdb, int scope);
// FM_CLOSE puts the options into the operation word and closes; the back
// end's close gets them in every case. At the last close of a file: unless
// 2048 is given, the end of its event process runs (in a recovery scope);
// 512 then scratches the file (1536 too); 1024 and 0 keep it.
int FM_CLOSE(FmArb* a, int options);
int fm__close(FmArb* a);
// FM_SCRATCH removes a file that is not open (200470 when it is, 200340 when
// there is none). Its second argument (options or a scope, as callers have
// it) is not used: the descriptor says everything.
int FM_SCRATCH(FmFdb* fdb, int options);
int fm_locate(FmFdb* fdb);
// fm_replace puts the source file in the target's place (keep: only scratch
// the source). The target stays until the source takes its place: a back
// end whose rename replaces in one step (sequential files) never leaves a
// moment with neither file; others scratch the target just before renaming.
int fm_replace(FmFdb* target, FmFdb* source, int keep);
// FM_ATTACH: a stream on the open file of a (restricted by the chain, none
// for the whole file), or null with the status in a. The second form also
// leaves the new handle (or none) in *out.
FmArb* FM_ATTACH(FmArb* a, FmScb* scb, int scope);
FmArb* FM_ATTACH(FmArb* a, FmArb** out, int scope);
inline FmArb* FM_ATTACH(FmArb* a, std::nullptr_t, int scope) {
  return FM_ATTACH(a, static_cast<FmScb*>(nullptr), scope);
}
int fm_detach(FmArb* strm);
int fm_nam(FmArb* a, FmName* out);
const uint8_t* fm_path(FmArb* a);                        // FM_PATH_LEN bytes
int fm_set_lang(FmArb* a, const char* from, const char* to);
int fm_xlate_fld(const void* p1, const void* p2, const char* lang, char* text, size_t len,
                 const char* app, const char* ver, int flag, const char* table, int mode);

// ------------------------------------------------------------ records --
// The contract every back end keeps (tests/files/test_fm_contract.cpp):
//   PROTO_FULL  sets the key number and the record buffer and clears the
//               operation word; the key is then read from the buffer at the
//               key's segment positions.
//   fm_read     by record id (1), or by the key number's key: taken from the
//               key pointer and length (2, a shorter key is a prefix) or from
//               the record buffer; 4 the first record of the key, 16 the
//               first whose key is at least the one given, otherwise (8 or 0)
//               the first whose key equals it. Keyless files read by record
//               id; single-record files read record 1. 64 holds the record
//               (a handle holds one record; a new hold lets the old one go).
//               200450 not found (always this status, never 200340, which
//               is a file's); 200520 held by another handle of this
//               process and 200530 locked by another process, the record
//               still delivered (a record is never answered with the file's
//               200390). 192 waits for another process's lock (lock_wait
//               seconds, then 200660; 0 or -1 without limit), never for a
//               handle of this process. The read positions the handle on the
//               record, also one by record id (in the ARB's key, which must
//               be a key of the file). The operation word is left as it was.
//   fm_start    4 before the first record of the key; 34 (32 | 2) before the
//               first record whose key is at least the key given by pointer
//               and length, 50 (or the range byte 16) greater than it.
//               Succeeds also when no record follows (the end shows at the
//               next fm_rdnxt).
//   fm_rdnxt    the next record in the handle's key (the ARB's key number; a
//               new key number goes on from the current record in that key's
//               order); 4 in the operation word starts over first; 200360 at
//               the end (and on every later call). A handle not yet
//               positioned reads from the first record (so 200540 is never
//               answered). Holds as fm_read.
//   Reads copy the record into the buffer (len_read = its length); a buffer
//   length (rec_len) shorter than the record copies what fits and gives
//   200590. With the fast bit (0x100) a memory-resident file delivers the
//   address of the record itself instead (fm_read_fast, MADDR).
//   fm_write    adds the buffer as a new record (rec_len: its length for a
//               variable-length file, 0 the file's; key bytes past the end
//               of a short record count as zero bytes); sets the record id;
//               200170 on a duplicate of a key without duplicates (nothing is
//               written). With the fast bit a memory file keeps the block.
//   fm_rewrite  replaces the record the handle holds (200580 when none), moving
//               its index entries; 200170 leaves it unchanged and held; else
//               the hold ends.
//   fm_del      deletes the held record (200580 when none).
//   fm_del_all  deletes every record (of a stream: those of its range).
//   fm_release  lets the held record go (1 also when none is held).
//   fm_key_cmp  the current record's key against the ARB's key (pointer,
//               length): 1 beyond, 0 equal (as a prefix), -1 before (the
//               record's key as the file keeps it: bytes past the end of a
//               short record, len_read, count as zero bytes); a
//               comparison that cannot be made (no such key, a key longer
//               than the key's) answers 0 with status 200650.
//   A closed handle: 200480. Reads of another handle positioned in the file
//   see writes, rewrites and deletes made in between.
void PROTO_FULL(FmArb* a, int key_no, uint8_t* buffer);
int fm_read(FmArb* a);
int fm_start(FmArb* a);
// Positions the handle at the first record of key key_no whose key begins
// with the key_len bytes at key (the record buffer set to buffer, as
// PROTO_FULL does); the ARB's key and key length are cleared after. 1 or
// 0 as fm_start.
int fm_start_at(FmArb* a, int key_no, uint8_t* buffer, const uint8_t* key, uint16_t key_len);
int fm_rdnxt(FmArb* a);
uint8_t* fm_read_fast(FmArb* a, int options);
uint8_t* fm_rdnxt_fast(FmArb* a, int options);
uint8_t* MADDR(FmArb* a, uint32_t rid);
// A stream about to read a large part of its file once tells its back end
// how: FM_PASS_WALK, from start to end in a key's order; FM_PASS_SCATTERED,
// record by record by id in an order of its own; FM_PASS_END when it is
// done (closing or detaching the stream ends it too). A back end that maps
// its file then keeps only a bounded part of it in the process's memory
// while the pass reads. What the reads deliver does not change.
constexpr int FM_PASS_END = 0, FM_PASS_WALK = 1, FM_PASS_SCATTERED = 2;
void fm_read_pass(FmArb* a, int how);
int fm_write(FmArb* a);
// Adds count records of the file's record length, laid one after the other
// at recs, as that many fm_write calls with rec_len 0 would: the same
// records under the same ids, the ARB's record id the last one's. It stops
// at the first record fm_write would refuse (the ARB's status says why).
// The count of records written. The records are copied (any memory), but
// with the fast bit in the operation word a memory file keeps the blocks
// themselves (in the engine arena), as fm_write does. A memory-resident
// file takes records in key order without searching its indexes.
int fm_write_all(FmArb* a, const uint8_t* recs, uint32_t count);
int fm_rewrite(FmArb* a);
// Adds a record of len bytes (copied) at the end of a memory-resident file
// without keys or update events whose records vary in length, as
// PROTO_FULL(a, 0, rec), rec_len = len, fm_write, rec_len = 0 would: the
// same record under the same id (the ARB's record id), status 0, key number
// and operation word 0. For the compiler's in-order records (constants),
// which need none of the general write's steps. True when written; false,
// nothing changed, when the file is not one of those (not the open handle
// of a memory file, keys, events, fixed-length records, no write access),
// len is 0 or over the record length, or there is no memory for it: the
// caller then writes with fm_write, which answers as it does.
bool fm_mem_append(FmArb* a, const void* rec, uint16_t len);
int fm_del(FmArb* a);
int fm_del_all(FmArb* a);
// Empties a memory-resident file for another use: every record goes, record
// ids start at 1 again, and the handle is as the file's create left it
// (before the first record, no key, record or hold). Only this handle may be
// open on the file. 1; 0 with 200480 (a closed handle), 200470 (another
// handle or a stream is open on the file) or 200650 (not the open handle of
// a memory file: a stream, or a file of another back end).
int fm_mem_reset(FmArb* a);
// fm_mem_reset of a handle open in `scope`, which may be any pointer (as
// fm_is_handle): 0, and nothing written, when it is not a live handle or is
// one of another scope.
int fm_mem_reset_in(FmArb* a, int scope);
// The records of a memory-resident file, through an open handle or stream
// of it: their number (all of the file's, whatever a stream's range).
// Nothing in the handle changes. -1 for a handle that is not live or a file
// of another back end.
int64_t fm_mem_records(FmArb* a);
// Keeps the open handle of a native file for reading between uses, for as
// long as it stays open: it no longer holds the file open against a scratch
// by another engine (a scratch removes the file's names, not its bytes: the
// handle goes on reading the file it opened, and whoever keeps it looks the
// name up again before relying on it), but still against exclusive use, which
// may change the file in place. Writes, rewrites and deletes through it (or
// its streams) are refused from then on (200650). The file's device and
// inode go to id when given (what the handle reads, whatever its name names
// by now). 1; 0 with 200650 (a closed handle, a stream, a handle opened
// exclusively, or one of another back end).
struct FmFileId {
  uint64_t dev = 0, ino = 0;
};
int fm_keep(FmArb* a, FmFileId* id = nullptr);
// The change count of the file an open handle reads (a native file's): it
// moves at every change of the file's records, through any handle of any
// engine. A record read while it stays the same is still the file's. False
// (count untouched) for a handle that is not open, a file of another back
// end, or while a change is under way.
bool fm_change_count(FmArb* a, uint64_t* count);
int fm_release(FmArb* a);
int fm_key_cmp(FmArb* a);

// ------------------------------------------------- caches and copies --
// The record image of a compiled file (kind 1 INITIAL, 2 NULL) of the FDB's
// record length (blanks past the dictionary's bytes; one image for each
// length asked), assembled from the INITIAL file of its dictionary and kept
// until fm_uncache; null with the status in the FDB when there is none.
// (This small-file cache gives images, not handles: every caller takes the
// image's bytes.)
uint8_t* fm_cache(FmFdb* file, int kind);
int fm_uncache(const uint8_t* image);
// Writes the FDBs of the temporary files of the current process scope (and
// deeper) into the open work file (72-byte records).
int fm_find_fis(FmArb* list);
// Appends every record of an open file to a sequential file (a count record,
// then the records); fm_load_fi creates the described file in the scope and
// loads them back. mm_save_fi / mm_load_fi: the same for memory files.
int fm_save_fi(FmArb* seq, FmArb* file);
int fm_load_fi(FmFdb* fdb, FmArb* seq, int scope);
int mm_save_fi(FmArb* seq, FmArb* file);
int mm_load_fi(FmFdb* fdb, FmArb* seq, int scope);

// Reports a failed create or open: "CHECK_FI - %s\n" and the file's identity
// on standard output, then a system error with the descriptor's status.
void fm_check_fi(int ok, FmFdb* fdb, const char* text, const char* file, int line);
#define CHECK_FI(ok, fdb, text) fm_check_fi((ok), (fdb), (text), __FILE__, __LINE__)

// ------------------------------------------------------ diagnostics --
// Whether the file at path is a sequential file (by its header, read
// without opening it as a file of the file manager): -1 when it is not one
// or cannot be read, else the number of whole records it holds (a
// single-record file such as PARAM holds one).
long fms_seq_records(const std::string& path);
size_t fm_open_count();     // live handles (open handles and streams)
// True when p is an open handle or stream; p is looked up, never read
// through, so any value may be asked (a handle kept as a number).
bool fm_is_handle(const void* p);
size_t fm_memfile_count();  // memory-resident files that exist

// Gives fn(record, length) every record of the file of handle f in the
// order of key 0, each read in place (FM_OP_FAST: valid until the file
// changes; one the read copied lies in the handle's buffer, which the next
// read reuses). An empty memory file is not walked (most of a module's
// sub-files). Nothing for a null or closed handle; the handle is left with
// no request (op 0).
template <class F>
void fm_each_fast(FmArb* f, F fn) {
  if (!f || !fm_is_handle(f)) return;
  f->key_no = 0;
  f->op = 0;
  if (fm_mem_records(f) == 0) return;
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(f, 0)) fn(p, uint32_t(f->len_read.get()));
  f->op = 0;
}
