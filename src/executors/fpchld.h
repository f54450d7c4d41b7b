// Child invocation and the built-in children of the frame processor: a
// numbered option or an automatic child of a frame runs a process from its
// compiled child record; option keys run prepared invocations of the
// runtime application's processes ("HELP", "HELP OPTION", "SET ENTRY
// ATTRIBUTES", "SELECT ACCESS PATH", "SCAN") and pass values through the
// ENTRY, HELP and HELPOPT work files.
#pragma once

#include <cstdint>

#include "foundation/record.h"

struct Pcb;
struct EmCchld;
struct PiInvoc;

// 1 when the child ran or was skipped by INCLUDE CHILDREN, 0 when refused.
int invoc_chld(Pcb* pcb, const EmCchld* child);
// The current frame's automatic children: 22, 5, or the completion code
// when a child was refused.
int invoc_auto_chld(Pcb* pcb);
// 1 when the child's completion was 37 and the parent goes on, 0 when it
// was not 37; other parents unwind with 37.
int was_chld_corrupt(PiInvoc* invoc, Pcb* pcb);

// Engine start: the work files and the prepared invocations (fp_init).
int fp_bltin_init();
// The HELP record (1,424 bytes) of an item.
void bld_help_itm(Pcb* pcb, uint8_t* record, int item);

// Option keys served by built-in children; each returns a frame result,
// or 0 when the image goes on.
int fp_opt_scan(Pcb* pcb);             // 257
int fp_opt_select_key(Pcb* pcb);       // 259
int fp_opt_entry_attrs(Pcb* pcb);      // 271
int fp_opt_direct(Pcb* pcb, int opt);  // 272, 273
int fp_opt_help(Pcb* pcb);             // 276
int fp_opt_help_opt(Pcb* pcb);         // 280
// SELECT KEY in key entry: the access path of the process's own file,
// chosen by the user when there are several; the mode's frame result when
// the path changed, else 0.
int fp_slct_path(Pcb* pcb);
// The terminal-emulator hooks: 1 start of image, 2 after a child. They run
// only while the terminal emulator's flag is on, which this engine never
// sets (tests do).
void fp_keaterm(Pcb* pcb, int which);
void fp_set_keaterm(bool on);
// Whether dynamic keys are switched off (QUVO_DISABLE_DYNAKEYS).
bool fp_dynakeys_off();

// ------------------------------------------------------ work records --
// The work files are memory files of "0LA" 00, one per session; the
// runtime's processes declare the same layouts (data/apps/0LA/files.def)
// and a test compares the two.

// ENTRY (940 bytes, one record): the answers of SET ENTRY ATTRIBUTES and
// the access paths offered by SELECT ACCESS PATH. At most 17 entries are
// offered, "Query" counted, so the names end before the key numbers.
constexpr int kFpEntryPaths = 17;
struct FpEntry {
  rec::Text<1> auto_readnext;          // 0   SET ENTRY ATTRIBUTES: blank keeps
  rec::Text<1> exact_key;              // 1
  rec::Text<1> carry;                  // 2   '1', '0'; blank without a current field
  rec::U8 choice;                      // 3   SELECT ACCESS PATH: entry chosen, 1-based
  rec::Text<30> path[kFpEntryPaths];   // 4   names offered (then "Query")
  rec::U8 key_no[kFpEntryPaths];       // 514 key number of each path, in list order
  rec::Bytes<353> b531;                // 531
  rec::U32 restruct_stat1;             // 884 result of a generated restructure or verify
  rec::U32 restruct_stat2;             // 888
  rec::Bytes<48> b892;                 // 892
};
QV_RECORD(FpEntry, 940);
QV_AT(FpEntry, choice, 3);
QV_AT(FpEntry, path, 4);
QV_AT(FpEntry, key_no, 514);
QV_AT(FpEntry, restruct_stat1, 884);

// HELP (1,424 bytes, one record): the current field for the HELP process.
// The second identifier keeps only its low byte: byte 4 holds the 255 that
// marks an item record (written last).
struct FpHelp {
  rec::U8 kind;                        // 0    4
  rec::U16 item_no;                    // 1    item sequence
  rec::U8 occ_low;                     // 3    occurrence, low byte
  rec::U8 marker;                      // 4    255
  rec::Text<30> field;                 // 5    field name (22 from the item)
  rec::Bytes<1264> b35;                // 35   blank
  rec::U8 entry_level;                 // 1299
  rec::Text<1> optional;               // 1300 '1' entry optional
  rec::Text<1> next;                   // 1301 the item's next flag
  rec::U8 display;                     // 1302 display kind (item use)
  rec::Text<1> redisplay;              // 1303 redisplay after look-up
  rec::Text<1> zero;                   // 1304 '0'
  rec::Bytes<1> b1305;                 // 1305
  rec::U8 use2;                        // 1306
  rec::Bytes<1> b1307;                 // 1307
  rec::Text<1> input;                  // 1308 '1' accepts input
  rec::Text<1> use2_one;               // 1309 '1' when use2 is 1
  rec::U16 pcf_fld;                    // 1310 field number in the PCF
  rec::U32 seq_incr;                   // 1312 numeric items
  rec::Text<1> is_signed;              // 1316 numeric items
  rec::U8 date_fmt;                    // 1317 date items
  rec::Text<60> mask;                  // 1318 edit mask
  rec::U8 b1378;                       // 1378 0
  rec::Text<3> lk_app;                 // 1379 look-up file
  rec::Text<8> lk_file;                // 1382
  rec::Text<20> b1390;                 // 1390 blank
  rec::Text<2> lk_db;                  // 1410
  rec::Bytes<1> b1412;                 // 1412
  rec::Text<1> lk_exact;               // 1413
  rec::U8 lk_fail;                     // 1414 look-up failure action
  rec::Bytes<1> b1415;                 // 1415
  rec::U32 words[2];                   // 1416 security codes 1 and 2 of the item
};
QV_RECORD(FpHelp, 1424);
QV_AT(FpHelp, marker, 4);
QV_AT(FpHelp, field, 5);
QV_AT(FpHelp, entry_level, 1299);
QV_AT(FpHelp, use2, 1306);
QV_AT(FpHelp, pcf_fld, 1310);
QV_AT(FpHelp, mask, 1318);
QV_AT(FpHelp, lk_app, 1379);
QV_AT(FpHelp, lk_db, 1410);
QV_AT(FpHelp, lk_fail, 1414);
QV_AT(FpHelp, words, 1416);

// HELPOPT (35 bytes, keyed by the option number): one numbered option of
// the current image.
struct FpHelpOpt {
  rec::U8 option;                      // 0
  rec::Text<3> app;                    // 1
  rec::U8 type;                        // 4
  rec::Text<30> name;                  // 5
};
QV_RECORD(FpHelpOpt, 35);
QV_AT(FpHelpOpt, type, 4);
QV_AT(FpHelpOpt, name, 5);

// The work files of the session (null before fp_bltin_init).
struct FmArb;
FmArb* fp_entry_file();
FmArb* fp_help_file();
FmArb* fp_helpopt_file();
// The prepared invocations, by process name ("HELP", "SCAN" ...): a copy
// for a test to look at; null for another name.
const PiInvoc* fp_bltin_invoc(const char* name);
