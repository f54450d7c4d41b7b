// File statements: the instruction layouts and their builders.
//
// Every file statement works on the file control area of its file
// (PiFileCtl, process/pishr.h), reached through a field index ("entry"),
// and calls the file manager directly; none runs the event points of the
// process's own file. "level" is the statement's truth-level shift (ibtst.h):
// success sets its level T, a failure F. Error modes: 0 nothing more, 1 a
// warning, 2 an error, 3 the status is shown, OPTION becomes 278 and the
// process unwinds with completion code 3.
//
// A BEG READ loop keeps its cursor (PiReadCursor, 16 bytes, a private area
// of kind 5) by a field index too: the loop's stream and the arena
// reference of the BEG READ instruction while the loop runs.
//
// Decisions:
//   1. CLOSE and SCRATCH clear the control area's handle (and its held
//      record), so a later statement on the file is run-time error 300300,
//      never an operation on a closed or reused handle. OPEN of a file of
//      "0DO" without "OLDPATH " of "0LA" open is 300300 as well.
//   2. A record that the user's security profile refuses is released when
//      it was read with hold: a refused record is never left locked.
//   3. A lock status (200520, 200530, 200660) of READ or READNEXT with a
//      TIMEOUT label set applies the status rule first, then jumps.
//   4. A key value (BEG AT, END AT) of more than 255 bytes is refused when
//      it compiles, with the verb's message.
//   5. Path types 1 and 2 are accepted; any other is 103330.
//   6. CREATE makes a new file only: one that exists is 200160, never
//      opened in its place.
//   7. SCRATCH clears the must-open mark of its file as IF EXIST, CREATE
//      and OPEN do: a file to scratch need not be there at the start.
//   8. WRITE, REWRITE and DELETE let the held record go when they forget
//      it (a refused REWRITE or DELETE too): no record stays locked with no
//      statement able to reach it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/cv.h"
#include "language/ib.h"

struct Pcb;
struct EmCfi;
struct EmHeader;
struct FmArb;

struct IbFiLvl {          // IF EXIST 578, CREATE 570, SCRATCH 572, WRITE 564, REWRITE 566 (16)
  IbInst head;
  rec::U32 level;         // 4
  rec::U32 entry;         // 8  file control area
  rec::U8 a;              // 12 IF EXIST, SCRATCH, WRITE, REWRITE: error mode; CREATE: exclusive option
  rec::U8 b;              // 13 IF EXIST: 1 the dictionary has no such file; CREATE: error mode
  rec::U16 unused;
};
QV_RECORD(IbFiLvl, 16);
QV_AT(IbFiLvl, entry, 8);
QV_AT(IbFiLvl, b, 13);

struct IbFiOpen {         // OPEN 574 (20)
  IbInst head;
  rec::U32 level;         // 4
  rec::U32 entry;         // 8
  rec::U32 oldpath;       // 12 control area of "0LA" "OLDPATH " (files of "0DO"), else 0
  rec::U8 excl;           // 16 0 shared, 1 exclusive
  rec::U8 mode;           // 17 error mode
  rec::U16 unused;
};
QV_RECORD(IbFiOpen, 20);
QV_AT(IbFiOpen, oldpath, 12);
QV_AT(IbFiOpen, mode, 17);

struct IbFiEntry {        // CLOSE 576 (12; option at 8), DELETE 568 (8), END READ 560 (8: the cursor)
  IbInst head;
  rec::U32 entry;         // 4
  rec::U8 option;         // 8 CLOSE: 1 keep the file's event process going (1024), 0 2048
  rec::Bytes<3> unused;
};
QV_RECORD(IbFiEntry, 12);
QV_AT(IbFiEntry, option, 8);

// READ of a record-number file: no key; the number is where register 1 points.
constexpr uint8_t kIbFiRecordNo = 255;
struct IbFiRead {         // READ 562 (24)
  IbInst head;
  rec::U32 level;         // 4
  rec::U32 entry;         // 8
  rec::U16 key_len;       // 12
  rec::U16 key_pos;       // 14
  rec::U8 key_no;         // 16 kIbFiRecordNo: the record number is in register 1
  rec::U8 key_type;       // 17 record-number files: the record number's type (5 binary, 8/12 packed)
  rec::U16 op;            // 18 hold bits (0, 64, 192)
  rec::U8 mode;           // 20 error mode
  rec::Bytes<3> unused;
};
QV_RECORD(IbFiRead, 24);
QV_AT(IbFiRead, key_len, 12);
QV_AT(IbFiRead, op, 18);
QV_AT(IbFiRead, mode, 20);

struct IbFiReadNext {     // READNEXT 554 (28)
  IbInst head;
  rec::U32 level;         // 4
  rec::U32 entry;         // 8
  rec::U32 area;          // 12 relocated, not used at run time (the control area again)
  rec::U16 key_len;       // 16
  rec::U16 key_pos;       // 18
  rec::U8 named;          // 20 '0' a key field named, '1' none
  rec::U8 key_no;         // 21
  rec::U16 op;            // 22 hold bits
  rec::U8 mode;           // 24 error mode
  rec::Bytes<3> unused;
};
QV_RECORD(IbFiReadNext, 28);
QV_AT(IbFiReadNext, area, 12);
QV_AT(IbFiReadNext, named, 20);
QV_AT(IbFiReadNext, op, 22);
QV_AT(IbFiReadNext, mode, 24);

// BEG AT 550, END AT 552 (12 + 8 per segment): the key is gathered from the
// record (or value) register 1 addresses, segment by segment.
struct IbFiSeg {
  rec::U16 zero;
  rec::U16 offset;        // in what register 1 addresses
  rec::U16 length;
  rec::U16 zero2;
};
QV_RECORD(IbFiSeg, 8);
struct IbFiAt {
  IbInst head;
  rec::U32 entry;         // 4
  rec::U16 key_len;       // 8
  rec::U8 range;          // 10 0 inclusive, 16 exclusive
  rec::U8 segs;           // 11 segment count
  IbFiSeg seg0;           // 12
  IbFiSeg* seg() { return &seg0; }
};
QV_RECORD(IbFiAt, 20);
QV_AT(IbFiAt, range, 10);
QV_AT(IbFiAt, segs, 11);

struct IbFiBegStart {     // BEG READ start 556 (20)
  IbInst head;
  rec::U32 entry;         // 4
  rec::U32 cursor;        // 8
  rec::U16 key_len;       // 12
  rec::U16 key_pos;       // 14
  rec::U8 key_no;         // 16
  rec::Bytes<3> unused;
};
QV_RECORD(IbFiBegStart, 20);
QV_AT(IbFiBegStart, key_no, 16);

struct IbFiBegRead {      // BEG READ 558 (20)
  IbInst head;
  rec::U32 entry;         // 4
  rec::U32 cursor;        // 8
  CodeRef exit;           // 12 after the END READ (patched by it)
  rec::U16 op;            // 16 hold bits
  rec::U16 unused;
};
QV_RECORD(IbFiBegRead, 20);
QV_AT(IbFiBegRead, exit, 12);
QV_AT(IbFiBegRead, op, 16);

// Hold option 0-2 as the read operation word: 0, 64, 192.
uint16_t SET_GFH_HOLD(int hold);

// Builders: the instruction, or null after the system error (IB.C).
uint8_t* bld_if_exist(IbCode* code, uint32_t level, uint32_t entry, uint8_t mode, bool no_file);
uint8_t* bld_create(IbCode* code, uint32_t level, uint32_t entry, uint8_t excl, uint8_t mode);
uint8_t* bld_scratch(IbCode* code, uint32_t level, uint32_t entry, uint8_t mode);
uint8_t* bld_open(IbCode* code, uint32_t level, uint32_t entry, uint32_t oldpath, uint8_t excl, uint8_t mode);
uint8_t* bld_close(IbCode* code, uint32_t entry, uint8_t option);
uint8_t* bld_write(IbCode* code, uint32_t level, uint32_t entry, uint8_t mode);
uint8_t* bld_rewrite(IbCode* code, uint32_t level, uint32_t entry, uint8_t mode);
uint8_t* bld_delete(IbCode* code, uint32_t entry);
uint8_t* bld_read(IbCode* code, uint32_t level, uint32_t entry, uint16_t key_len, uint16_t key_pos, uint8_t key_no,
                  uint8_t key_type, uint16_t op, uint8_t mode);
uint8_t* bld_readnext(IbCode* code, uint32_t level, uint32_t entry, bool named, uint8_t key_no, uint16_t key_len,
                      uint16_t key_pos, uint16_t op, uint8_t mode);
// BEG AT (end false) or END AT: n segments {offset, length}; null when the
// key would pass 255 bytes.
uint8_t* bld_at(IbCode* code, bool end, uint32_t entry, uint8_t range, const uint16_t (*segs)[2], int n);
uint8_t* bld_beg_read_start(IbCode* code, uint32_t entry, uint32_t cursor, uint16_t key_len, uint16_t key_pos,
                            uint8_t key_no);
uint8_t* bld_beg_read(IbCode* code, uint32_t entry, uint32_t cursor, uint16_t op);
uint8_t* bld_end_read(IbCode* code, uint32_t cursor);

// ------------------------------------------------------------ run time --
// The text of the last failing file statement's status (`ii_fi_msg`: at most
// 79 characters, trimmed), and its length.
const char* ii_fi_msg(size_t* len);
// The record security check of READ, READNEXT and BEG READ (the process
// manager's, registered at start-up): false when the user's profile refuses
// the record in the buffer. Unset: every record is admitted.
using IiFiAccessCheck = bool (*)(Pcb* pcb, const EmCfi* cfi, const uint8_t* record);
void ii_fi_set_access_check(IiFiAccessCheck fn);

// ------------------------------------------------------------ properties --
// GETATTR 190, PUTATTR 192 (240: with the field's conversion item), DELATTR
// 198, MOVEATTR 254 (36). The object is the record at register 2 (its
// primary key's value, `name_len` bytes; 0: a file without one keeps its
// properties under a blank object name); register 1 the field (GETATTR
// target, PUTATTR source, MOVEATTR the old object name).
struct IbFiProp {
  IbInst head;
  rec::Text<3> app;       // 4  application of the property file
  rec::Text<8> kind;      // 7  object kind: the object file's name
  rec::Text<14> prop;     // 15 property name (MOVEATTR: where the walk starts; blank the first)
  rec::Bytes<3> unused;   // 29
  rec::U32 name_len;      // 32 object-name length
  CvItem item;            // 36 GETATTR, PUTATTR: the field's conversion item
};
QV_RECORD(IbFiProp, 240);
QV_AT(IbFiProp, kind, 7);
QV_AT(IbFiProp, prop, 15);
QV_AT(IbFiProp, name_len, 32);
QV_AT(IbFiProp, item, 36);
constexpr size_t kIbFiPropShort = 36;   // DELATTR, MOVEATTR

// item: the field's conversion item (GETATTR, PUTATTR; else ignored).
uint8_t* bld_getprop(IbCode* code, const char* app, const char* kind, const char* prop, uint32_t name_len,
                     const CvItem& item);
uint8_t* bld_putprop(IbCode* code, const char* app, const char* kind, const char* prop, uint32_t name_len,
                     const CvItem& item);
uint8_t* bld_delprop(IbCode* code, const char* app, const char* kind, const char* prop, uint32_t name_len);
uint8_t* bld_moveprop(IbCode* code, const char* app, const char* kind, const char* prop, uint32_t name_len);

// --------------------------------------------------------------- SCAN --
// SCAN test 140 (12): the bytes registers 1 and 2 address compared; equal
// goes on, unequal jumps to the target (the END of a scan's return block,
// patched by the compiler: a block run for another file's answer does
// nothing and ends there, never running the code after it).
struct IbFiScanTst {
  IbInst head;
  CodeRef target;         // 4
  rec::U32 len;           // 8 bytes compared
};
QV_RECORD(IbFiScanTst, 12);
QV_AT(IbFiScanTst, target, 4);
QV_AT(IbFiScanTst, len, 8);
uint8_t* bld_scan_tst(IbCode* code, uint32_t len);

// SCAN 580 (16): records a scan request of the file whose control area the
// IRA at 4 reaches, then goes on at the continuation (the code after the
// statement's return block). The return block starts at `ret`, a code
// reference kept unrelocated: the scan support runs it once the scan is
// answered.
struct IbFiScan {
  IbInst head;
  rec::U32 ctl;           // 4  IRA (kind 1) of the scanned file's control area
  CodeRef cont;           // 8  continuation
  CodeRef ret;            // 12 the return block (never relocated)
};
QV_RECORD(IbFiScan, 16);
QV_AT(IbFiScan, cont, 8);
QV_AT(IbFiScan, ret, 12);
// SCAN with its continuation and return block to be patched (the compiler
// writes both once the return block is built).
uint8_t* bld_scan(IbCode* code, uint32_t ctl);

// IRA_SCAN 188 (8): address register `reg` at byte `offset` of the
// process's scan buffer, where the scan support put the chosen record.
struct IbIraScan {
  IbInst head;
  rec::U16 reg;           // 4 1-4
  rec::U16 offset;        // 6
};
QV_RECORD(IbIraScan, 8);
QV_AT(IbIraScan, offset, 6);
uint8_t* bld_scan_ira(IbCode* code, uint16_t offset, int reg);

// A record of the process's scan work file ("PI"/"SC", 80 bytes, key the
// file number at 0): one per file a SCAN of the process asked for.
struct IiScanWork {
  rec::U16 file_no;       // 0  the file's number in the process (the key)
  rec::U8 use;            // 2  the rest of the compiled reference's word at 72
  rec::U8 b3;             // 3
  rec::Bytes<44> ctl;     // 4  the file's control area (PiFileCtl) as it was
  rec::Bytes<28> fdb;     // 48 the prepared descriptor's word 0 and identity
  rec::Bytes<4> b76;      // 76
};
QV_RECORD(IiScanWork, 80);
QV_AT(IiScanWork, ctl, 4);
QV_AT(IiScanWork, fdb, 48);

// ------------------------------------------------------ scan run time --
// Decision: the scan work file and the scan buffer of a process have no
// slot in its PCB. They live in a side table of the interpreter keyed by
// the PCB, made on the process's first SCAN (the file in the process
// pool's scope, the buffer from the process pool, so both go with the
// process's data) and forgotten when that scope is released; nothing in a
// record points at them. The scan return file ("EM"/"SB") belongs to the
// module: its header's SCANB slot, made on the first SCAN when the module
// has none (a module loaded from its saved file).
//
// The scan buffer holds 2 x 65,536 bytes, so any IRA_SCAN offset plus any
// field length stays inside it.
constexpr size_t kIiScanBuf = 2 * 65536;
// The process's scan work file and scan buffer, null when it has none yet.
FmArb* ii_scan_work(const Pcb* pcb);
uint8_t* ii_scan_buf(const Pcb* pcb);
// The code positions of the module's recorded return blocks, in the order
// their SCANs ran.
std::vector<CodeRef> ii_scan_returns(EmHeader* em);

// The scan support as far as the SCAN statement needs it: the user's
// answer to the scans the process recorded. `file` (at most 8 characters,
// blank-padded) goes into "SCANOPT FI NAM" of "0LA", `record` (len bytes)
// into the scan buffer, and every recorded return block runs in order
// (each one whose scan named another file ends at once); the return file
// is emptied. The number of blocks run, or -1 when the process has
// recorded no scan or lacks the field.
int ii_scan_answer(Pcb* pcb, const char* file, const uint8_t* record, size_t len);
