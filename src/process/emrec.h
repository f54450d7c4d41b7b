// The records of an executable module's sub-files that the loader reads and
// the process compiler fills (em.h holds the header), and the one table of
// the module's sub-files: their labels, codes, catalogue builders and
// header slots, in the order the saved module file keeps them.
//
// Slots that hold a handle or an address in memory hold an index or a
// record number in a saved module (the loader turns them into addresses,
// pl_rloc); a saved form never carries an arena reference:
//   CAP    `src` (13 dictionary handles): zero in a saved module;
//   CFI    `fdb.kdb` (KDB record number), `ctl_ira`, `rec_ira` (indexes
//          into the area address array); the descriptor's handle slot zero;
//   CDLU   `area` (index into the area address array);
//   CTOK   `token_handle` (a token list of the engine that loaded it):
//          cleared whenever a module is read from a file.
#pragma once

#include <cstdint>

#include "files/fm.h"
#include "foundation/os.h"
#include "foundation/record.h"
#include "process/em.h"

// CAP: an application the module refers to (124 bytes, key application).
struct EmCap {
  rec::Text<3> app;            // 0
  rec::Text<2> ver;            // 3   "00" for a system application
  rec::Bytes<3> b5;            // 5
  rec::Bytes<8> stamp;         // 8   APPL bytes 296-303 when compiled; -1 words: no APPL record
  rec::U8 b16;                 // 16
  rec::U8 b17;                 // 17
  rec::Bytes<2> b18;           // 18
  rec::U32 src[13];            // 20  open dictionary sources of the compile (handles; 0 when saved)
  rec::U32 hi_area[13];        // 72  per area class 0-12: the highest area number in LF
};
QV_RECORD(EmCap, 124);
QV_AT(EmCap, stamp, 8);
QV_AT(EmCap, src, 20);
QV_AT(EmCap, hi_area, 72);

// CFI: a compiled file reference (160 bytes). It begins with the file's
// descriptor: record length, variable flag, definition flags (2, 4),
// organisation and access mode sit in the descriptor's own fields; its kdb
// slot holds the number of the file's KDB record (0: no keys) until the
// loader makes it the address of that record.
struct EmCfi {
  FmFdb fdb;                   // 0
  rec::U16 file_no;            // 72  process file number 1, 2, ...
  rec::U8 use;                 // 74  use flags (1 process file or looked-up file; 2, 8, 4)
  rec::U8 b75;                 // 75
  rec::Bytes<8> b76;           // 76
  rec::Bytes<8> stamp;         // 84  FILE bytes 116-123, compared by verification
  rec::U32 rec_area;           // 92  area id of the record
  rec::U32 ctl_area;           // 96  area id of the control area
  rec::U16 lookup;             // 100
  rec::U8 ipc_cat;             // 102
  rec::Bytes<3> share;         // 103 FILE bytes 97, 96, 95
  rec::Bytes<2> b106;          // 106
  rec::U32 ctl_ira;            // 108 control area: index into the area address array, then its address
  rec::U32 rec_ira;            // 112 record area: likewise
  rec::U32 one;                // 116
  rec::I32 elem1_off;          // 120
  rec::I32 elem2_off;          // 124
  rec::Text<30> desc;          // 128 FILE bytes 23-52
  rec::U8 xlate;               // 158 1: the file's records are translated
  rec::U8 b159;                // 159
};
QV_RECORD(EmCfi, 160);
QV_AT(EmCfi, file_no, 72);
QV_AT(EmCfi, stamp, 84);
QV_AT(EmCfi, rec_area, 92);
QV_AT(EmCfi, ctl_area, 96);
QV_AT(EmCfi, ctl_ira, 108);
QV_AT(EmCfi, rec_ira, 112);
QV_AT(EmCfi, desc, 128);
QV_AT(EmCfi, xlate, 158);

// CFLD: a work-field or file-field reference (88 bytes).
struct EmCfld {
  rec::Text<3> app;            // 0
  rec::Text<22> name;          // 3
  rec::U8 b25;                 // 25
  rec::U16 occurs;             // 26
  rec::Bytes<8> stamp;         // 28  ELEMENT bytes 76-83, compared by verification
  rec::U32 area;               // 36  area id
  rec::U16 k40;                // 40  work field: second value's constant key; file field: record offset
  rec::U16 k42;                // 42  work field: initial value's constant key
  rec::U8 scan;                // 44
  rec::Text<30> scan_proc;     // 45
  rec::Bytes<13> b75;          // 75
};
QV_RECORD(EmCfld, 88);
QV_AT(EmCfld, stamp, 28);
QV_AT(EmCfld, area, 36);
QV_AT(EmCfld, scan_proc, 45);

// CLIB: a subroutine the module calls (48 bytes; key 0 its number, key 1
// application and name). The stamp is the subroutine definition's
// modification stamp (PROCESS bytes 80-87) when compiled.
struct EmClib {
  rec::Text<3> app;            // 0
  rec::Text<30> name;          // 3
  rec::Bytes<3> b33;           // 33
  rec::U32 number;             // 36
  rec::Bytes<8> stamp;         // 40
};
QV_RECORD(EmClib, 48);
QV_AT(EmClib, number, 36);
QV_AT(EmClib, stamp, 40);

// CTOK: a token list the module's items use (28 bytes).
struct EmCtok {
  rec::Text<3> app;            // 0
  rec::U8 zero;                // 3
  rec::Text<22> name;          // 4  token group (ELEMENT bytes 28-49)
  rec::U16 token_handle;       // 26 the loaded list (cv_load_token), 0 none
};
QV_RECORD(EmCtok, 28);
QV_AT(EmCtok, token_handle, 26);

// CDLU: a data-area look-up (24 bytes, key its number).
struct EmCdlu {
  rec::U16 number;             // 0
  rec::Bytes<10> b2;           // 2
  rec::U32 area;               // 12 index into the area address array (0 none), then its address
  rec::Bytes<8> b16;           // 16
};
QV_RECORD(EmCdlu, 24);
QV_AT(EmCdlu, area, 12);

// CFRM, CIMG, CCHLD: the compiled frames, images and children (their keys;
// the frame, image and child compiles lay out the rest).
struct EmCfrm {
  rec::U8 code;                // 0   frame code
  rec::Bytes<3> b1;
  rec::U32 number;             // 4   frame number
  rec::U32 seq;                // 8   frame sequence
  rec::Bytes<32> b12;          // 12
  rec::U8 scroll;              // 44  scroll kind 0-4: not 0, a scrolling frame (images stacked at its origin)
  rec::Bytes<95> rest;         // 45
};
QV_RECORD(EmCfrm, 140);
QV_AT(EmCfrm, seq, 8);
QV_AT(EmCfrm, scroll, 44);
struct EmCimg {
  rec::U32 frame_seq;          // 0
  rec::U8 image_no;            // 4
  rec::Bytes<139> b5;
  rec::U32 seq;                // 144 image sequence
  rec::Bytes<52> rest;         // 148
};
QV_RECORD(EmCimg, 200);
QV_AT(EmCimg, seq, 144);
struct EmCchld {
  rec::U32 seq;                // 0   child sequence
  rec::U32 frame_seq;          // 4
  rec::U32 child_no;           // 8
  rec::U32 image_seq;          // 12
  rec::U8 disc;                // 16  discriminator
  rec::Bytes<3> b17;           // 17
  PiInvoc invoc;               // 20  the child's invocation
  rec::U8 display;             // 164 display value
  rec::U8 on_change;           // 165 not 0: run (automatic mode 1) when a constrained key changes
  rec::U8 on_delete;           // 166 not 0: run (automatic mode 2) when the record is deleted
  rec::U8 b167;                // 167
  rec::U32 eps[2];             // 168 entries of event points 61 and 62, 65535 none
};
QV_RECORD(EmCchld, 176);
QV_AT(EmCchld, disc, 16);
QV_AT(EmCchld, invoc, 20);
QV_AT(EmCchld, on_change, 165);
QV_AT(EmCchld, eps, 168);

// CITM: a compiled screen item (392 bytes; key 0 image sequence, row,
// column). The item compile lays out the rest.
struct EmCitm {
  rec::U32 image_seq;          // 0
  rec::U32 row;                // 4
  rec::U32 col;                // 8
  rec::Bytes<184> cnv;         // 12  the item's conversion block
  rec::Bytes<32> b196;         // 196
  rec::U32 last_row;           // 228
  rec::U32 last_col;           // 232
  rec::U32 attr;               // 236 attribute bits set
  rec::U32 attr_mask;          // 240 attribute bits given
  rec::U8 colour;              // 244
  rec::U8 b245;                // 245
  rec::U16 item_no;            // 246 item sequence 1, 2, ...
  rec::U8 disp;                // 248 display value
  rec::U8 flag;                // 249 the item's flag (ITEM byte 57; numeric fields without default)
  rec::Bytes<3> b250;          // 250
  rec::Text<3> app;            // 253
  rec::Text<22> field;         // 256
  rec::U16 occ;                // 278
  rec::Bytes<112> rest;        // 280
};
QV_RECORD(EmCitm, 392);
QV_AT(EmCitm, attr, 236);
QV_AT(EmCitm, item_no, 246);
QV_AT(EmCitm, flag, 249);
QV_AT(EmCitm, app, 253);
QV_AT(EmCitm, occ, 278);

// PK: one segment of a key of the process's own file (8 bytes).
struct EmPk {
  rec::U16 key_no;             // 0
  rec::U16 field;              // 2
  rec::U16 length;             // 4
  rec::U16 offset;             // 6
};
QV_RECORD(EmPk, 8);

// ------------------------------------------------------ the sub-files --
// One sub-file of a module.
struct EmSub {
  const char* label;           // "CAP" (pl_dump)
  const char* code;            // unique file code under "EM" ("IN" for INST, under "IN")
  Ref<FmArb> EmHeader::*slot;  // its handle in the header
  bool saved;                  // kept in the saved module file
};
// Every sub-file, in the order of the saved module file (the saved ones
// first: CAP, CFI, CFLD, CLIB, INST, CFRM, CIMG, CCHR, CCHLD, CITM, CNST, CV,
// KDB, SDB, CDLU, PK, QSLCT, QSORT, SUM, CTOK, SCAN), then RECURSE, LOC and
// SCANB, which only a compile uses.
constexpr int kEmSubs = 24;
constexpr int kEmSaved = 21;
extern const EmSub em_subs[kEmSubs];
// The table entry of a label; null when none.
const EmSub* em_sub(const char* label);
// Fills the descriptor of sub-file s (its catalogue builder and identity);
// kdb and sdb: arena areas of FM_CAT_KDB_AREA and FM_CAT_SDB_AREA entries.
void em_sub_fdb(const EmSub& s, FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
