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
//          cleared whenever a module is read from a file;
//   CIMG   `text` (the screen text in the module's pool): zero in the saved
//          sub-file, the rows follow the area table;
//   CITM   the window item's value and text addresses: 0 until a process
//          shows the item;
//   CCHLD  the invocation's surfaces, parent PCB and constraint lists: 0.
#pragma once

#include <cstdint>

#include "files/dictrec.h"
#include "files/fm.h"
#include "foundation/cv.h"
#include "foundation/os.h"
#include "foundation/record.h"
#include "process/em.h"
#include "screen/wmrec.h"

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

// CDLU: a data-area look-up (24 bytes, key its number): the look-up file
// and key that fill items from another file.
struct EmCdlu {
  rec::U16 number;             // 0
  rec::Bytes<2> b2;            // 2
  rec::U32 ctl_ira;            // 4  control area of the look-up file: index into the area address array, then its address
  rec::U16 key_no;             // 8  key number of the look-up key
  rec::U8 flag130;             // 10 ITEM byte 130 '1'
  rec::U8 b11;                 // 11
  rec::U32 area;               // 12 record area of the look-up file (0 none): index, then its address
  rec::U32 first_item;         // 16 item sequence of the first key item
  rec::U8 display;             // 20 largest display value of its items
  rec::U8 b21;                 // 21
  rec::U8 b132;                // 22 ITEM byte 132
  rec::U8 b23;                 // 23
};
QV_RECORD(EmCdlu, 24);
QV_AT(EmCdlu, ctl_ira, 4);
QV_AT(EmCdlu, key_no, 8);
QV_AT(EmCdlu, first_item, 16);
QV_AT(EmCdlu, b132, 22);
QV_AT(EmCdlu, area, 12);

// CFRM: a compiled frame (140 bytes; key 0 sequence, 1 code and number,
// 2 code, group and number). Flags copied from the FRAME record are 1 where
// it holds '1', else 0; positions are those of the FRAME record.
struct EmCfrm {
  rec::U8 code;                // 0   frame code 0-11, 13, 14 (10, 11, 13 also made by the compiler)
  rec::Bytes<3> b1;            // 1
  rec::U32 number;             // 4   frame number
  rec::U32 seq;                // 8   frame sequence 1, 2, ... in compile order
  rec::U8 mode;                // 12  frame mode 1-3 (1 becomes 2 when its statements use ALTERNATE IMAGE NUMBER)
  rec::U8 interactive;         // 13  FRAME byte 67 '1' (0 for the process types that never interact)
  rec::Bytes<2> b14;           // 14
  rec::U32 b16;                // 16  0
  rec::I32 pos[4];             // 20  row, column, rows, columns
  rec::I32 ext_rows;           // 36  stacking frames: deepest image extent in rows
  rec::I32 ext_cols;           // 40  widest image extent in columns
  rec::U8 scroll;              // 44  0-4: not 0, images stacked at the frame's origin
  rec::U8 flag85[3];           // 45
  rec::Bytes<4> b48;           // 48
  rec::U8 b88;                 // 52
  rec::U8 flag89;              // 53
  rec::Bytes<2> b54;           // 54
  rec::U32 next;               // 56  sequence of the next frame of its group, 0 none
  rec::U8 flag90[5];           // 60
  rec::U8 b95[2];              // 65
  rec::U8 flag97[2];           // 67
  rec::U8 b99;                 // 69  0-2 (report frames: which standard child)
  rec::U8 b100;                // 70  255 for the standard frames
  rec::U8 flag101[2];          // 71
  rec::Text<3> grp_app;        // 73  frame group: application (blank when the name is blank)
  rec::Text<22> grp_name;      // 76
  rec::U16 grp_no;             // 98  0 without a group, else FRAME 128-129 (0 taken as 1)
  rec::U16 first_img;          // 100 sequence of its first image
  rec::U16 last_img;           // 102
  rec::U16 first_chld;         // 104 sequence of its first child invocation
  rec::U16 last_chld;          // 106
  rec::U32 eps[5];             // 108 event points 21-25 (code references; 65535 none)
  rec::U32 text_cnst;          // 128 frame codes 8 and 9: constant key of the frame's text, else 0
  rec::U16 text_len;           // 132 its length (0-800)
  rec::U8 flag131;             // 134 frame codes 8 and 9: FRAME byte 131 '1'
  rec::U8 b135;                // 135
  rec::U32 w132;               // 136 FRAME bytes 132-135
};
QV_RECORD(EmCfrm, 140);
QV_AT(EmCfrm, seq, 8);
QV_AT(EmCfrm, mode, 12);
QV_AT(EmCfrm, pos, 20);
QV_AT(EmCfrm, ext_rows, 36);
QV_AT(EmCfrm, scroll, 44);
QV_AT(EmCfrm, b88, 52);
QV_AT(EmCfrm, next, 56);
QV_AT(EmCfrm, flag90, 60);
QV_AT(EmCfrm, b99, 69);
QV_AT(EmCfrm, grp_app, 73);
QV_AT(EmCfrm, grp_no, 98);
QV_AT(EmCfrm, first_img, 100);
QV_AT(EmCfrm, first_chld, 104);
QV_AT(EmCfrm, eps, 108);
QV_AT(EmCfrm, text_cnst, 128);
QV_AT(EmCfrm, flag131, 134);
QV_AT(EmCfrm, w132, 136);

// CIMG: a compiled image (200 bytes; key 0 sequence, 1 frame sequence and
// image number). Its screen text (rows x columns characters) lives in the
// module's pool; a saved module carries it as image screen rows after the
// area table, never the reference.
struct EmCimg {
  rec::U32 frame_seq;          // 0
  rec::U32 image_no;           // 4   (the key uses byte 4)
  rec::U32 b8;                 // 8   0
  rec::I32 row;                // 12  screen row of the image
  rec::I32 col;                // 16  screen column
  rec::I32 rows;               // 20
  rec::I32 cols;               // 24  (a screen row's length in the saved module)
  rec::I32 rows2;              // 28  copies of rows and columns
  rec::I32 cols2;              // 32
  rec::U8 b36;                 // 36  0
  rec::U8 flag67[2];           // 37
  rec::U8 flag69;              // 39
  rec::Bytes<4> b40;           // 40
  rec::U8 stack;               // 44  1 in a stacking frame, else IMAGE byte 70
  rec::Bytes<3> b45;           // 45
  rec::I32 row_step;           // 48
  rec::I32 col_step;           // 52
  rec::U8 b96;                 // 56
  rec::U8 b97[2];              // 57
  rec::U8 flag99[2];           // 59
  rec::U8 b101;                // 61
  rec::Bytes<2> b62;           // 62
  rec::Text<80> b104;          // 64  IMAGE bytes 104-183
  rec::U32 seq;                // 144 image sequence 1, 2, ...
  Ref<char> text;              // 148 the screen text, in the module's pool
  rec::U16 first_item;         // 152 sequence of its first item
  rec::U16 last_item;          // 154
  rec::U8 display;             // 156 largest item or child display value
  rec::Bytes<3> b157;          // 157
  rec::U32 eps[6];             // 160 event points 41-46 (65535 none)
  rec::U32 tot_ep;             // 184 entry of its compiled totals (65535 none)
  rec::Bytes<8> b188;          // 188
  rec::U8 totals;              // 196 1: an item of the image totals
  rec::U8 b197;                // 197
  rec::Bytes<2> b198;          // 198
};
QV_RECORD(EmCimg, 200);
QV_AT(EmCimg, image_no, 4);
QV_AT(EmCimg, row, 12);
QV_AT(EmCimg, rows, 20);
QV_AT(EmCimg, cols, 24);
QV_AT(EmCimg, stack, 44);
QV_AT(EmCimg, row_step, 48);
QV_AT(EmCimg, b96, 56);
QV_AT(EmCimg, b101, 61);
QV_AT(EmCimg, b104, 64);
QV_AT(EmCimg, seq, 144);
QV_AT(EmCimg, text, 148);
QV_AT(EmCimg, first_item, 152);
QV_AT(EmCimg, display, 156);
QV_AT(EmCimg, eps, 160);
QV_AT(EmCimg, tot_ep, 184);
QV_AT(EmCimg, totals, 196);

// CCHR: a compiled characteristic is the window manager's (WmChr, 40 bytes;
// key 0 image sequence, row, column; key 1 image sequence and the owning
// item's row and column). Its first word is the image sequence.
using EmCchr = WmChr;

// CCHLD: a compiled child invocation (176 bytes; key 0 sequence, 1 frame
// sequence and child number, 2 image sequence and discriminator). Its
// invocation is ready to run but for the slots a run fills (surfaces, parent
// PCB, constraint lists: 0 when compiled).
struct EmCchld {
  rec::U32 seq;                // 0   child sequence 1, 2, ...
  rec::U32 frame_seq;          // 4
  rec::U32 child_no;           // 8
  rec::U32 image_seq;          // 12  0 for a frame-level child
  rec::U8 disc;                // 16  discriminator
  rec::U8 whole_key;           // 17  1: its selection lines fix every byte of a unique key of its file
  rec::U8 whole_key_no;        // 18  that key's number
  rec::U8 cns_flags;           // 19  bit 2: a selection line carries the key flag
  PiInvoc invoc;               // 20  constraints compiled: cns_positions and cns_descs hold
                               //     module constant numbers until the loader relocates them
  rec::U8 display;             // 164 CHILD byte 82
  rec::U8 flag114;             // 165
  rec::U8 flag115;             // 166
  rec::U8 b167;                // 167
  rec::U32 eps[2];             // 168 event points 61 and 62 (65535 none)
};
QV_RECORD(EmCchld, 176);
QV_AT(EmCchld, disc, 16);
QV_AT(EmCchld, invoc, 20);
QV_AT(EmCchld, display, 164);
QV_AT(EmCchld, eps, 168);

// CITM: a compiled screen item (392 bytes; key 0 image sequence, row,
// column; 1 image sequence, application, field, occurrence, row, column).
// Its first 228 bytes are the window manager's item (bytes 12-215 the
// conversion item); the value and text addresses in it are 0 when compiled
// and in a saved module. Compiled, `wm.ira_area`, `wm.ira_sub` and `lk_ira`
// are indexes into the area address array and `wm.reference` the field's
// process file number (low half) and record offset (high half), or its
// null value's constant key; once the loader has relocated the module the
// three indexes are arena references to the array's slots (each slot holds
// the running PCB's area address) and `wm.reference` the address of the
// field's null value (the file's NULL image at the field, or the
// constant).
struct EmCitm {
  WmItem wm;                   // 0   handle = image sequence, row, column within the image
  rec::I32 last_row;           // 228 row + rows - 1
  rec::I32 last_col;           // 232 column + columns - 1
  rec::U32 attr;               // 236 attribute bits set
  rec::U32 attr_mask;          // 240 attribute bits given
  rec::U8 colour;              // 244 foreground * 16 + background, 0 the terminal's default
  rec::U8 b245;                // 245
  rec::U16 item_no;            // 246 item sequence 1, 2, ...
  rec::U8 disp;                // 248 display value (entry level)
  rec::U8 flag;                // 249 ITEM byte 57 '1'; 1 for a numeric field without default
  rec::U8 flag58;              // 250
  rec::U8 use;                 // 251 item use; 1 for a PCF field that is no look-up item
  rec::U8 flag60;              // 252
  rec::Text<3> app;            // 253
  rec::Text<22> field;         // 256
  rec::U16 occ;                // 278
  rec::U32 sub_ira;            // 280 IRA of the occurrence's sub-area
  rec::U32 area;               // 284 area id of the field
  rec::U32 offset;             // 288 offset of the field
  rec::U16 pcf_fld;            // 292 field number in the PCF, else 0
  rec::Bytes<2> b294;          // 294
  rec::U32 range_ep;           // 296 entry of its range checks (65535 none)
  rec::Bytes<2> elem580;       // 300 ELEMENT bytes 580-581
  rec::U16 lk_no;              // 302 look-up number (look-up items)
  rec::U32 lk_ira;             // 304 IRA the look-up key part is taken from
  rec::U8 lk_last;             // 308 1 on the last key item of a look-up
  rec::U8 use2;                // 309 ITEM byte 59
  rec::U16 lk_file_no;         // 310 look-up number of the field's file (uses 2, 3)
  rec::U8 total[2];            // 312 ITEM bytes 202, 203
  rec::U8 input;               // 314 1 when the item accepts input
  rec::U8 b315;                // 315
  rec::U32 secr[3];            // 316 security codes (ELEMENT 288, 292, 296), all ones none
  rec::Text<30> text1;         // 328 ELEMENT bytes 125-154
  rec::Text<30> text2;         // 358 ELEMENT bytes 155-184
  rec::U32 pcf_key;            // 388 1: a PCF field that is a key item
};
QV_RECORD(EmCitm, 392);
QV_AT(EmCitm, last_row, 228);
QV_AT(EmCitm, attr, 236);
QV_AT(EmCitm, colour, 244);
QV_AT(EmCitm, item_no, 246);
QV_AT(EmCitm, flag, 249);
QV_AT(EmCitm, app, 253);
QV_AT(EmCitm, occ, 278);
QV_AT(EmCitm, sub_ira, 280);
QV_AT(EmCitm, pcf_fld, 292);
QV_AT(EmCitm, range_ep, 296);
QV_AT(EmCitm, lk_no, 302);
QV_AT(EmCitm, lk_last, 308);
QV_AT(EmCitm, lk_file_no, 310);
QV_AT(EmCitm, input, 314);
QV_AT(EmCitm, secr, 316);
QV_AT(EmCitm, text1, 328);
QV_AT(EmCitm, pcf_key, 388);

// TDLU: a look-up being compiled (636 bytes, a work file of the compile;
// key the look-up file's CFI file number).
struct PcTdlu {
  rec::U16 number;             // 0   look-up number
  rec::Bytes<2> b2;            // 2
  rec::U32 file_no;            // 4   the look-up file's CFI file number
  CElem key;                   // 8   the compiled element of the look-up key field
  rec::U8 flag[3];             // 612 ITEM bytes 129-131 '1'
  rec::U8 b615;                // 615
  rec::U16 next_part;          // 616 next key part's member sequence
  rec::Bytes<2> b618;          // 618
  rec::U16 first_item;         // 620 sequence of the first key item
  rec::Bytes<2> b622;          // 622
  rec::U32 last_item;          // 624 CITM sequence of the last item taken
  rec::U8 display;             // 628 largest display value
  rec::U8 b132;                // 629 ITEM byte 132
  rec::Bytes<2> b630;          // 630
  rec::U16 covered;            // 632 key bytes covered so far
  rec::Bytes<2> b634;          // 634
};
QV_RECORD(PcTdlu, 636);
QV_AT(PcTdlu, file_no, 4);
QV_AT(PcTdlu, flag, 612);
QV_AT(PcTdlu, last_item, 624);
QV_AT(PcTdlu, covered, 632);

// ------------------------------------------------------- field lists --
// The screen records field by field (pl_dump prints them so): the window
// item and the invocation they embed, then each record.
QV_FIELDS(WmItem, kFldWmItem, QV_FLD(WmItem, handle, 5), QV_FLD(WmItem, row, 5), QV_FLD(WmItem, col, 5),
          QV_FLD(WmItem, ira_area, 5), QV_FLD(WmItem, ira_sub, 5), QV_FLD(WmItem, reference, 5),
          QV_FLD(WmItem, summary, 5), QV_FLD(WmItem, cnv_one, 5), QV_FLD(WmItem, source, 5),
          QV_FLD(WmItem, dspl_mode, 5), QV_FLD(WmItem, cnv_kind, 5), QV_FLD(WmItem, cnv_b29, 5),
          QV_FLD(WmItem, data_type, 5), QV_FLD(WmItem, cnv_b31, 5), QV_FLD(WmItem, length, 5),
          QV_FLD(WmItem, cnv_w34, 5), QV_FLD(WmItem, rows, 5), QV_FLD(WmItem, cols, 5), QV_FLD(WmItem, value, 0),
          QV_FLD(WmItem, text, 0), QV_FLD(WmItem, text_len, 5), QV_FLD(WmItem, edit_len, 5),
          QV_FLD(WmItem, mask, 1), QV_FLD(WmItem, cnv_area, 0), QV_FLD(WmItem, input, 5),
          QV_FLD(WmItem, cnv_b177, 0), QV_FLD(WmItem, msg, 5), QV_FLD(WmItem, cnv_tail, 0),
          QV_FLD(WmItem, total_ira, 5), QV_FLD(WmItem, sum_occ, 5), QV_FLD(WmItem, upd, 5),
          QV_FLD(WmItem, b208, 0), QV_FLD(WmItem, needs_cnv, 5), QV_FLD(WmItem, b217, 0),
          QV_FLD(WmItem, b224, 5), QV_FLD(WmItem, b225, 0));
QV_FIELDS(PiInvoc, kFldInvoc, QV_FLD(PiInvoc, app, 1), QV_FLD(PiInvoc, ver, 1), QV_FLD(PiInvoc, type, 5),
          QV_FLD(PiInvoc, name, 1), QV_FLD(PiInvoc, kind, 5), QV_FLD(PiInvoc, auto_mode, 5),
          QV_FLD(PiInvoc, caller_mode, 5), QV_FLD(PiInvoc, child_fail_mode, 5), QV_FLD(PiInvoc, independent, 5),
          QV_FLD(PiInvoc, query_edit_mode, 5), QV_FLD(PiInvoc, reserved_text, 1), QV_FLD(PiInvoc, spare0, 0),
          QV_FLD(PiInvoc, surface1, 5), QV_FLD(PiInvoc, surface2, 5), QV_FLD(PiInvoc, reserved1, 5),
          QV_FLD(PiInvoc, parent_pcb, 0), QV_FLD(PiInvoc, reserved2, 5), QV_FLD(PiInvoc, key_path, 5),
          QV_FLD(PiInvoc, query_app, 1), QV_FLD(PiInvoc, query_name, 1), QV_FLD(PiInvoc, reserved3, 5),
          QV_FLD(PiInvoc, query_reuse, 5), QV_FLD(PiInvoc, spare1, 0), QV_FLD(PiInvoc, cns_count, 5),
          QV_FLD(PiInvoc, cns_positions, 0), QV_FLD(PiInvoc, cns_descs, 0), QV_FLD(PiInvoc, cns_total, 5),
          QV_FLD(PiInvoc, cns_values, 0), QV_FLD(PiInvoc, reserved4, 5), QV_FLD(PiInvoc, pcf_app, 1),
          QV_FLD(PiInvoc, pcf_file, 5), QV_FLD(PiInvoc, completion, 5), QV_FLD(PiInvoc, reserved5, 0));
QV_FIELDS(EmCfrm, kFldCfrm, QV_FLD(EmCfrm, code, 5), QV_FLD(EmCfrm, b1, 0), QV_FLD(EmCfrm, number, 5),
          QV_FLD(EmCfrm, seq, 5), QV_FLD(EmCfrm, mode, 5), QV_FLD(EmCfrm, interactive, 5), QV_FLD(EmCfrm, b14, 0),
          QV_FLD(EmCfrm, b16, 5), QV_FLD(EmCfrm, pos, 5), QV_FLD(EmCfrm, ext_rows, 5), QV_FLD(EmCfrm, ext_cols, 5),
          QV_FLD(EmCfrm, scroll, 5), QV_FLD(EmCfrm, flag85, 5), QV_FLD(EmCfrm, b48, 0), QV_FLD(EmCfrm, b88, 5),
          QV_FLD(EmCfrm, flag89, 5), QV_FLD(EmCfrm, b54, 0), QV_FLD(EmCfrm, next, 5), QV_FLD(EmCfrm, flag90, 5),
          QV_FLD(EmCfrm, b95, 5), QV_FLD(EmCfrm, flag97, 5), QV_FLD(EmCfrm, b99, 5), QV_FLD(EmCfrm, b100, 5),
          QV_FLD(EmCfrm, flag101, 5), QV_FLD(EmCfrm, grp_app, 1), QV_FLD(EmCfrm, grp_name, 1),
          QV_FLD(EmCfrm, grp_no, 5), QV_FLD(EmCfrm, first_img, 5), QV_FLD(EmCfrm, last_img, 5),
          QV_FLD(EmCfrm, first_chld, 5), QV_FLD(EmCfrm, last_chld, 5), QV_FLD(EmCfrm, eps, 5),
          QV_FLD(EmCfrm, text_cnst, 5), QV_FLD(EmCfrm, text_len, 5), QV_FLD(EmCfrm, flag131, 5),
          QV_FLD(EmCfrm, b135, 5), QV_FLD(EmCfrm, w132, 5));
QV_FIELDS(EmCimg, kFldCimg, QV_FLD(EmCimg, frame_seq, 5), QV_FLD(EmCimg, image_no, 5), QV_FLD(EmCimg, b8, 5),
          QV_FLD(EmCimg, row, 5), QV_FLD(EmCimg, col, 5), QV_FLD(EmCimg, rows, 5), QV_FLD(EmCimg, cols, 5),
          QV_FLD(EmCimg, rows2, 5), QV_FLD(EmCimg, cols2, 5), QV_FLD(EmCimg, b36, 5), QV_FLD(EmCimg, flag67, 5),
          QV_FLD(EmCimg, flag69, 5), QV_FLD(EmCimg, b40, 0), QV_FLD(EmCimg, stack, 5), QV_FLD(EmCimg, b45, 0),
          QV_FLD(EmCimg, row_step, 5), QV_FLD(EmCimg, col_step, 5), QV_FLD(EmCimg, b96, 5), QV_FLD(EmCimg, b97, 5),
          QV_FLD(EmCimg, flag99, 5), QV_FLD(EmCimg, b101, 5), QV_FLD(EmCimg, b62, 0), QV_FLD(EmCimg, b104, 1),
          QV_FLD(EmCimg, seq, 5), QV_FLD(EmCimg, text, 0), QV_FLD(EmCimg, first_item, 5),
          QV_FLD(EmCimg, last_item, 5), QV_FLD(EmCimg, display, 5), QV_FLD(EmCimg, b157, 0),
          QV_FLD(EmCimg, eps, 5), QV_FLD(EmCimg, tot_ep, 5), QV_FLD(EmCimg, b188, 0), QV_FLD(EmCimg, totals, 5),
          QV_FLD(EmCimg, b197, 5), QV_FLD(EmCimg, b198, 0));
QV_FIELDS(WmChr, kFldCchr, QV_FLD(WmChr, handle, 5), QV_FLD(WmChr, row, 5), QV_FLD(WmChr, col, 5),
          QV_FLD(WmChr, rows, 5), QV_FLD(WmChr, cols, 5), QV_FLD(WmChr, attr, 5), QV_FLD(WmChr, colour, 5),
          QV_FLD(WmChr, b25, 0), QV_FLD(WmChr, item_row, 5), QV_FLD(WmChr, item_col, 5), QV_FLD(WmChr, b36, 0));
QV_FIELDS(EmCchld, kFldCchld, QV_FLD(EmCchld, seq, 5), QV_FLD(EmCchld, frame_seq, 5), QV_FLD(EmCchld, child_no, 5),
          QV_FLD(EmCchld, image_seq, 5), QV_FLD(EmCchld, disc, 5), QV_FLD(EmCchld, whole_key, 5),
          QV_FLD(EmCchld, whole_key_no, 5), QV_FLD(EmCchld, cns_flags, 5),
          QV_FLD(EmCchld, invoc, 0), QV_FLD(EmCchld, display, 5), QV_FLD(EmCchld, flag114, 5),
          QV_FLD(EmCchld, flag115, 5), QV_FLD(EmCchld, b167, 5), QV_FLD(EmCchld, eps, 5));
QV_FIELDS(EmCitm, kFldCitm, QV_FLD(EmCitm, wm, 0), QV_FLD(EmCitm, last_row, 5), QV_FLD(EmCitm, last_col, 5),
          QV_FLD(EmCitm, attr, 5), QV_FLD(EmCitm, attr_mask, 5), QV_FLD(EmCitm, colour, 5), QV_FLD(EmCitm, b245, 5),
          QV_FLD(EmCitm, item_no, 5), QV_FLD(EmCitm, disp, 5), QV_FLD(EmCitm, flag, 5), QV_FLD(EmCitm, flag58, 5),
          QV_FLD(EmCitm, use, 5), QV_FLD(EmCitm, flag60, 5), QV_FLD(EmCitm, app, 1), QV_FLD(EmCitm, field, 1),
          QV_FLD(EmCitm, occ, 5), QV_FLD(EmCitm, sub_ira, 5), QV_FLD(EmCitm, area, 5), QV_FLD(EmCitm, offset, 5),
          QV_FLD(EmCitm, pcf_fld, 5), QV_FLD(EmCitm, b294, 0), QV_FLD(EmCitm, range_ep, 5),
          QV_FLD(EmCitm, elem580, 0), QV_FLD(EmCitm, lk_no, 5), QV_FLD(EmCitm, lk_ira, 5), QV_FLD(EmCitm, lk_last, 5),
          QV_FLD(EmCitm, use2, 5), QV_FLD(EmCitm, lk_file_no, 5), QV_FLD(EmCitm, total, 5), QV_FLD(EmCitm, input, 5),
          QV_FLD(EmCitm, b315, 5), QV_FLD(EmCitm, secr, 5), QV_FLD(EmCitm, text1, 1), QV_FLD(EmCitm, text2, 1),
          QV_FLD(EmCitm, pcf_key, 5));
QV_FIELDS(EmCdlu, kFldCdlu, QV_FLD(EmCdlu, number, 5), QV_FLD(EmCdlu, b2, 0), QV_FLD(EmCdlu, ctl_ira, 5),
          QV_FLD(EmCdlu, key_no, 5), QV_FLD(EmCdlu, flag130, 5), QV_FLD(EmCdlu, b11, 5), QV_FLD(EmCdlu, area, 5),
          QV_FLD(EmCdlu, first_item, 5), QV_FLD(EmCdlu, display, 5), QV_FLD(EmCdlu, b21, 5), QV_FLD(EmCdlu, b132, 5),
          QV_FLD(EmCdlu, b23, 5));

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
// SCANB (the scan return file, written at run time), which are never saved.
constexpr int kEmSubs = 24;
constexpr int kEmSaved = 21;
extern const EmSub em_subs[kEmSubs];
// The table entry of a label; null when none.
const EmSub* em_sub(const char* label);
// Fills the descriptor of sub-file s (its catalogue builder and identity);
// kdb and sdb: arena areas of FM_CAT_KDB_AREA and FM_CAT_SDB_AREA entries.
void em_sub_fdb(const EmSub& s, FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
