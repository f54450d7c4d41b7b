// Process data areas and their sharing between a process and its callers.
//
// Every running process addresses its data through the area address table
// of its PCB: one address per entry of its module's area table (entry N of
// the table is "data area N"). pi_shr_data builds that table when a process
// starts. Shared areas are bookkept in the SAA work files ("PI"/"SA", one
// per area class): a record per (owner PCB, application, version) with a
// 16-byte slot per area number of the class. A PCB's owner of a class is
// itself, or, when the class is shared with its caller, the caller's owner;
// so an area is shared by every process below its owner that shares the
// class, whether or not the processes in between reference it.
//
// Invariants:
//   1. An area address is held in exactly one SAA slot as its area (the
//      slot of the owner's record that allocated it); every other slot
//      holding it holds it as handed down. pi_free_data frees the areas of
//      the PCB's own records (and a handed-down area marked taken over) and
//      deletes the records, so no area is freed twice and none is left
//      behind when a family is discarded. Private areas (kind 2 and above)
//      are the PCB's alone and freed by its module's area table.
//   2. A class is shared only when the caller exists, the run is not
//      independent, and the sharing table marks the class as shared for the
//      invocation kind and process class. Class, kind and process class are
//      checked before the table is indexed: a class outside 0-12, a kind
//      outside 0-2 or a process class outside 0-2 is never shared.
//   3. A slot's size is that of its area, or, without one, of its handed-down
//      area. A handed-down area is copied by the smaller of the two sizes;
//      the rest of the new area is initialised (a caller compiled against an
//      older dictionary is never read past its end).
//   4. A record's slot count is at least the highest area number of the
//      class referenced through it (a record is grown, old slots kept).
//
// Process classes, area classes and the sharing table: area class 0 is never
// shared; class c (1-12) has reach (c - 1) / 4 + 1 (1 SUBPROCESS, 2 RELATED,
// 3 DETACHED) and receive level (c - 1) % 4. A class is shared with a child
// of kind k and process class p when reach >= k + 1 and level >= 3 - p.
#pragma once

#include <cstddef>
#include <cstdint>

#include <iterator>
#include <type_traits>
#include <string_view>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
#include "foundation/record.h"

struct Pcb;
struct EmAreaEntry;
struct EmCfi;
struct EmCap;
struct EmHeader;
struct FmArb;

// --------------------------------------------- process data area records --
// The predefined fields of every process are the record areas of the files
// PDF0, PDF2-PDF7 of the runtime application "0LA" (data/apps/0LA/files.def).
// The compiler references those files first, each with its record area and
// its file control area, and then the fields DEFAULT MODE, USER ID and
// PROCESS CODE, each a sub-area of its own; so a module's data areas 1-17
// are:
//    1 PDF0 record: print and run options     2 its control area
//    3 PDF2 record: steering (CANCEL OK ...)   4 its control area
//    5 PDF3 record: the user, database in use  6 its control area
//    7 PDF4 record: the status record          8 its control area
//    9 PDF5 record: where the process runs    10 its control area
//   11 PDF6 record: the phase record          12 its control area
//   13 PDF7 record: the process identification 14 its control area
//   15 DEFAULT MODE   16 USER ID   17 PROCESS CODE
// Each record is declared here field by field, under the names the
// sources give the fields (a test compares the generated files with these
// lists); fields named "... SPARE n" have no reader yet.
#define PD_FLD(T, m, name, type)                                                           \
  DictField {                                                                              \
    name, uint16_t(offsetof(T, m)), uint16_t(sizeof(std::remove_all_extents_t<decltype(T::m)>)), \
        uint8_t(type), dictfld::occ<decltype(T::m)>()                                      \
  }

// Data area 1 (PDF0): the print options of a report and the run options.
struct PdArea1 {
  rec::Bytes<8> spare0;           // 0
  rec::Bytes<8> print_date;       // 8   host time; first word all ones: none
  rec::U16 copies;                // 16
  rec::Text<1> notify;            // 18  '1'
  rec::Text<10> form;             // 19  FORM record
  rec::Text<10> printer;          // 29  PRINTER record
  rec::Text<10> format;           // 39
  rec::U8 print_mode;             // 49  1 HOLD, 2 SPOOL, 3 KEEP, 4 ONLINE
  rec::Text<10> priority;         // 50
  rec::U8 disposition;            // 60  1 SCRATCH, 2 SAVE, 3 REQUEUE
  rec::Text<1> on_screen;         // 61  '1' print on screen
  rec::Text<1> print;             // 62  '1' the print file goes to the print script
  rec::Text<1> no_detail;         // 63  '1' detail images are not written
  rec::Text<255> print_path;      // 64  the print file, once created
  rec::Text<1> banner;            // 319
  rec::Bytes<8> spare320;         // 320
  rec::U16 copies2;               // 328 the second block of defaults
  rec::Text<1> notify2;           // 330
  rec::Text<10> form2;            // 331
  rec::Text<10> printer2;         // 341
  rec::Text<10> format2;          // 351
  rec::U8 print_mode2;            // 361
  rec::Text<10> priority2;        // 362
  rec::U8 disposition2;           // 372
  rec::Bytes<255> spare373;       // 373
  rec::Text<1> banner2;           // 628
  rec::Bytes<1> spare629;         // 629
  rec::Text<1> background;        // 630 SUBMIT PROCESS: '1' an independent run goes to the background
  rec::Bytes<29> spare631;        // 631
  rec::Text<79> heading;          // 660 text centred in line 2 of the page heading
  rec::Text<1> browse;            // 739 '1' keep the BROWSE file
  rec::Bytes<2> spare740;         // 740
  rec::Text<256> report_opts;     // 742
  rec::Bytes<257> spare998;       // 998
  rec::Bytes<257> spare1255;      // 1255
};
QV_RECORD(PdArea1, 1512);
QV_AT(PdArea1, print_date, 8);
QV_AT(PdArea1, banner, 319);
QV_AT(PdArea1, copies2, 328);
QV_AT(PdArea1, banner2, 628);
QV_AT(PdArea1, background, 630);
QV_AT(PdArea1, heading, 660);
QV_AT(PdArea1, report_opts, 742);
QV_FIELDS(PdArea1, kPdArea1Fields, PD_FLD(PdArea1, spare0, "PDF0 SPARE 1", kFtAlpha),
          PD_FLD(PdArea1, print_date, "PRINT DATE", kFtDate), PD_FLD(PdArea1, copies, "COPIES", kFtBinary),
          PD_FLD(PdArea1, notify, "NOTIFY", kFtAlpha), PD_FLD(PdArea1, form, "FORM NAME", kFtAlpha),
          PD_FLD(PdArea1, printer, "PRINTER NAME", kFtAlpha), PD_FLD(PdArea1, format, "PRINT FORMAT", kFtAlpha),
          PD_FLD(PdArea1, print_mode, "PRINT MODE", kFtBinary), PD_FLD(PdArea1, priority, "PRINT PRIORITY", kFtAlpha),
          PD_FLD(PdArea1, disposition, "DISPOSITION", kFtBinary),
          PD_FLD(PdArea1, on_screen, "PRINT ON SCREEN", kFtAlpha), PD_FLD(PdArea1, print, "PRINT REPORT", kFtAlpha),
          PD_FLD(PdArea1, no_detail, "DETAIL SUPPRESSION", kFtAlpha),
          PD_FLD(PdArea1, print_path, "PRINT FILE PATH", kFtAlpha), PD_FLD(PdArea1, banner, "BANNER", kFtAlpha),
          PD_FLD(PdArea1, spare320, "PDF0 SPARE 2", kFtAlpha), PD_FLD(PdArea1, copies2, "COPIES 2", kFtBinary),
          PD_FLD(PdArea1, notify2, "NOTIFY 2", kFtAlpha), PD_FLD(PdArea1, form2, "FORM NAME 2", kFtAlpha),
          PD_FLD(PdArea1, printer2, "PRINTER NAME 2", kFtAlpha), PD_FLD(PdArea1, format2, "PRINT FORMAT 2", kFtAlpha),
          PD_FLD(PdArea1, print_mode2, "PRINT MODE 2", kFtBinary),
          PD_FLD(PdArea1, priority2, "PRINT PRIORITY 2", kFtAlpha),
          PD_FLD(PdArea1, disposition2, "DISPOSITION 2", kFtBinary),
          PD_FLD(PdArea1, spare373, "PDF0 SPARE 3", kFtAlpha), PD_FLD(PdArea1, banner2, "BANNER 2", kFtAlpha),
          PD_FLD(PdArea1, spare629, "PDF0 SPARE 4", kFtAlpha),
          PD_FLD(PdArea1, background, "SUBMIT PROCESS", kFtAlpha), PD_FLD(PdArea1, spare631, "PDF0 SPARE 5", kFtAlpha),
          PD_FLD(PdArea1, heading, "HEADING TEXT", kFtAlpha), PD_FLD(PdArea1, browse, "BROWSE", kFtAlpha),
          PD_FLD(PdArea1, spare740, "PDF0 SPARE 6", kFtAlpha),
          PD_FLD(PdArea1, report_opts, "REPORT OPTIONS", kFtAlpha),
          PD_FLD(PdArea1, spare998, "PDF0 SPARE 7", kFtAlpha), PD_FLD(PdArea1, spare1255, "PDF0 SPARE 8", kFtAlpha));

// Data area 3 (PDF2): the steering of the process; CALL and RUN leave
// their result in the word at byte 4.
struct PdArea3 {
  rec::Text<1> cancel_ok;         // 0  '1' allows CANCEL
  rec::U8 op_phase;               // 1  OPERATIONAL PHASE (2: no display)
  rec::Text<1> buffer_scroll;     // 2  BUFFER SCROLLING IMG
  rec::Text<1> auto_readnext;     // 3
  rec::I32 call_result;           // 4
  rec::Text<1> exact_key;         // 8  EXACT KEY REQUIRED
  rec::U8 alt_image;              // 9  ALTERNATE IMAGE NUMBER
  rec::U8 default_mode;           // 10 the mode handed to a child
};
QV_RECORD(PdArea3, 11);
QV_AT(PdArea3, call_result, 4);
QV_AT(PdArea3, default_mode, 10);
QV_FIELDS(PdArea3, kPdArea3Fields, PD_FLD(PdArea3, cancel_ok, "CANCEL OK", kFtAlpha),
          PD_FLD(PdArea3, op_phase, "OPERATIONAL PHASE", kFtBinary),
          PD_FLD(PdArea3, buffer_scroll, "BUFFER SCROLLING IMG", kFtAlpha),
          PD_FLD(PdArea3, auto_readnext, "AUTO READNEXT", kFtAlpha),
          PD_FLD(PdArea3, call_result, "CALL RESULT", kFtBinary),
          PD_FLD(PdArea3, exact_key, "EXACT KEY REQUIRED", kFtAlpha),
          PD_FLD(PdArea3, alt_image, "ALTERNATE IMAGE NUMBER", kFtBinary),
          PD_FLD(PdArea3, default_mode, "DEFAULT MODE", kFtBinary));

// Data area 5 (PDF3): the user and the database in use.
struct PdArea5 {
  rec::Text<30> profile;          // 0  USER PROFILE
  rec::Text<3> db;                // 30 database in use (of the next RELATED or DETACHED run)
  rec::Text<3> user;              // 33 USER ID
  rec::Text<30> user_name;        // 36
};
QV_RECORD(PdArea5, 66);
QV_AT(PdArea5, db, 30);
QV_AT(PdArea5, user, 33);
QV_FIELDS(PdArea5, kPdArea5Fields, PD_FLD(PdArea5, profile, "USER PROFILE", kFtAlpha),
          PD_FLD(PdArea5, db, "DATABASE IN USE", kFtAlpha), PD_FLD(PdArea5, user, "USER ID", kFtAlpha),
          PD_FLD(PdArea5, user_name, "USER NAME", kFtAlpha));

// Data area 7 (PDF4): the status record.
struct PdStatus {
  rec::U32 errors;                // 0
  rec::U32 warnings;              // 4
  rec::U32 page_no;               // 8   of the report
  rec::I32 lines_left;            // 12
  rec::U16 page_width;            // 16
  rec::U16 page_len;              // 18
  rec::Bytes<4> spare20;          // 20
  rec::U16 item_ordinal;          // 24  the item found
  rec::U16 item_occ;              // 26
  rec::I32 cursor_row;            // 28
  rec::I32 cursor_col;            // 32
  rec::U16 option;                // 36  option code of the last key (278 CANCEL, 65535 none)
  rec::Bytes<9> spare38;          // 38
  rec::Bytes<8> date_diff;        // 47  DATE DIFFERENCE: packed, what DATE BTW gives
  rec::Text<1> new_page_after;    // 55
  rec::Text<1> new_page_before;   // 56
  rec::Text<1> include_record;    // 57
  rec::Text<1> include_children;  // 58
  rec::Text<4> next_child;        // 59  NEXT CHILD ID
  rec::Text<3> next_db;           // 63  one-shot
  rec::Text<3> next_app;          // 66  one-shot: the application of the next invocation
  rec::Text<2> next_ver;          // 69  one-shot
  rec::Text<30> next_proc;        // 71  NEXT PROCESS NAME
  rec::Text<10> mode_text;        // 101 "DATA ENTRY" / "MENU ENTRY"
  rec::Bytes<18> spare111;        // 111
  rec::Text<256> next_path;       // 129 one-shot
  rec::Bytes<257> spare385;       // 385
  rec::U8 fg_color;               // 642
  rec::U8 bg_color;               // 643
  rec::Bytes<20> spare644;        // 644
  rec::Text<3> next_lang;         // 664 one-shot: the language of the next invocation
};
QV_RECORD(PdStatus, 667);
QV_AT(PdStatus, item_ordinal, 24);
QV_AT(PdStatus, option, 36);
QV_AT(PdStatus, date_diff, 47);
QV_AT(PdStatus, new_page_after, 55);
QV_AT(PdStatus, next_db, 63);
QV_AT(PdStatus, next_app, 66);
QV_AT(PdStatus, next_ver, 69);
QV_AT(PdStatus, next_proc, 71);
QV_AT(PdStatus, next_path, 129);
QV_AT(PdStatus, fg_color, 642);
QV_AT(PdStatus, next_lang, 664);
QV_FIELDS(PdStatus, kPdStatusFields, PD_FLD(PdStatus, errors, "ERRORS", kFtBinary),
          PD_FLD(PdStatus, warnings, "WARNINGS", kFtBinary), PD_FLD(PdStatus, page_no, "PAGE NUMBER", kFtBinary),
          PD_FLD(PdStatus, lines_left, "LINES LEFT", kFtBinary), PD_FLD(PdStatus, page_width, "PAGE WIDTH", kFtBinary),
          PD_FLD(PdStatus, page_len, "PAGE LENGTH", kFtBinary), PD_FLD(PdStatus, spare20, "PDF4 SPARE 1", kFtAlpha),
          PD_FLD(PdStatus, item_ordinal, "ITEM ORDINAL", kFtBinary),
          PD_FLD(PdStatus, item_occ, "ITEM OCCURRENCE", kFtBinary),
          PD_FLD(PdStatus, cursor_row, "CURSOR ROW", kFtBinary), PD_FLD(PdStatus, cursor_col, "CURSOR COLUMN", kFtBinary),
          PD_FLD(PdStatus, option, "OPTION", kFtBinary), PD_FLD(PdStatus, spare38, "PDF4 SPARE 2", kFtAlpha),
          PD_FLD(PdStatus, date_diff, "DATE DIFFERENCE", kFtPacked),
          PD_FLD(PdStatus, new_page_after, "NEW PAGE AFTER", kFtAlpha),
          PD_FLD(PdStatus, new_page_before, "NEW PAGE BEFORE", kFtAlpha),
          PD_FLD(PdStatus, include_record, "INCLUDE RECORD", kFtAlpha),
          PD_FLD(PdStatus, include_children, "INCLUDE CHILDREN", kFtAlpha),
          PD_FLD(PdStatus, next_child, "NEXT CHILD ID", kFtAlpha), PD_FLD(PdStatus, next_db, "NEXT DATABASE", kFtAlpha),
          PD_FLD(PdStatus, next_app, "NEXT APPLICATION", kFtAlpha), PD_FLD(PdStatus, next_ver, "NEXT VERSION", kFtAlpha),
          PD_FLD(PdStatus, next_proc, "NEXT PROCESS NAME", kFtAlpha), PD_FLD(PdStatus, mode_text, "MODE TEXT", kFtAlpha),
          PD_FLD(PdStatus, spare111, "PDF4 SPARE 3", kFtAlpha), PD_FLD(PdStatus, next_path, "NEXT PATH", kFtAlpha),
          PD_FLD(PdStatus, spare385, "PDF4 SPARE 4", kFtAlpha),
          PD_FLD(PdStatus, fg_color, "FOREGROUND COLOR", kFtBinary),
          PD_FLD(PdStatus, bg_color, "BACKGROUND COLOR", kFtBinary),
          PD_FLD(PdStatus, spare644, "PDF4 SPARE 5", kFtAlpha), PD_FLD(PdStatus, next_lang, "NEXT LANGUAGE", kFtAlpha));

// Data area 9 (PDF5): where the process runs.
struct PdArea9 {
  rec::Text<3> cur_db;            // 0  CURRENT DATABASE
  rec::U8 db_opts;                // 3  the application's database options (2: check security codes)
  rec::Text<3> lang;              // 4  LANGUAGE IN USE
  rec::Bytes<8> spare7;           // 7
  rec::U8 design_access;          // 15 3: the design tools only view
  rec::Bytes<108> spare16;        // 16
  rec::Text<3> design_app;        // 124 the design target
  rec::Text<2> design_ver;        // 127
};
QV_RECORD(PdArea9, 129);
QV_AT(PdArea9, db_opts, 3);
QV_AT(PdArea9, design_access, 15);
QV_AT(PdArea9, design_app, 124);
QV_AT(PdArea9, design_ver, 127);
QV_FIELDS(PdArea9, kPdArea9Fields, PD_FLD(PdArea9, cur_db, "CURRENT DATABASE", kFtAlpha),
          PD_FLD(PdArea9, db_opts, "DATABASE OPTIONS", kFtBinary), PD_FLD(PdArea9, lang, "LANGUAGE IN USE", kFtAlpha),
          PD_FLD(PdArea9, spare7, "PDF5 SPARE 1", kFtAlpha), PD_FLD(PdArea9, design_access, "DESIGN ACCESS", kFtBinary),
          PD_FLD(PdArea9, spare16, "PDF5 SPARE 2", kFtAlpha),
          PD_FLD(PdArea9, design_app, "DESIGN APPLICATION", kFtAlpha),
          PD_FLD(PdArea9, design_ver, "DESIGN VERSION", kFtAlpha));

// Data area 11 (PDF6): the phase record.
struct PdArea11 {
  rec::Text<3> app;               // 0  APPLICATION IN USE
  rec::Text<2> ver;               // 3  VERSION IN USE
  rec::Bytes<31> spare5;          // 5
  rec::U32 file_status;           // 36 of the last file statement
  rec::U8 mode;                   // 40 Input mode 1 Add, 2 Delete, 3 Inquire, 4 Change
  rec::U8 entry_level;            // 41
  rec::U8 phase;                  // 42 INTERACTIVE PHASE
};
QV_RECORD(PdArea11, 43);
QV_AT(PdArea11, file_status, 36);
QV_AT(PdArea11, entry_level, 41);
QV_AT(PdArea11, phase, 42);
QV_FIELDS(PdArea11, kPdArea11Fields, PD_FLD(PdArea11, app, "APPLICATION IN USE", kFtAlpha),
          PD_FLD(PdArea11, ver, "VERSION IN USE", kFtAlpha), PD_FLD(PdArea11, spare5, "PDF6 SPARE 1", kFtAlpha),
          PD_FLD(PdArea11, file_status, "FILE STATUS", kFtBinary), PD_FLD(PdArea11, mode, "MODE", kFtBinary),
          PD_FLD(PdArea11, entry_level, "ENTRY LEVEL", kFtBinary),
          PD_FLD(PdArea11, phase, "INTERACTIVE PHASE", kFtBinary));

// Data area 13 (PDF7): the process identification, as the invocation's key.
struct PdArea13 {
  rec::Text<3> app;               // 0  PROCESS APPLICATION
  rec::Text<2> ver;               // 3  PROCESS VERSION
  rec::U8 type;                   // 5  PROCESS TYPE
  rec::Text<30> name;             // 6  PROCESS NAME
  rec::Text<4> code;              // 36 PROCESS CODE (its own data area, 17)
};
QV_RECORD(PdArea13, 40);
QV_AT(PdArea13, code, 36);
QV_FIELDS(PdArea13, kPdArea13Fields, PD_FLD(PdArea13, app, "PROCESS APPLICATION", kFtAlpha),
          PD_FLD(PdArea13, ver, "PROCESS VERSION", kFtAlpha), PD_FLD(PdArea13, type, "PROCESS TYPE", kFtBinary),
          PD_FLD(PdArea13, name, "PROCESS NAME", kFtAlpha), PD_FLD(PdArea13, code, "PROCESS CODE", kFtAlpha));

// Which "0LA" file is which data area, with its field list.
struct PdFile {
  const char* file;
  uint32_t area;
  const DictField* fields;
  int count;
  uint16_t size;
};
inline constexpr PdFile kPdFiles[] = {
    {"PDF0", 1, kPdArea1Fields, int(std::size(kPdArea1Fields)), uint16_t(sizeof(PdArea1))},
    {"PDF2", 3, kPdArea3Fields, int(std::size(kPdArea3Fields)), uint16_t(sizeof(PdArea3))},
    {"PDF3", 5, kPdArea5Fields, int(std::size(kPdArea5Fields)), uint16_t(sizeof(PdArea5))},
    {"PDF4", 7, kPdStatusFields, int(std::size(kPdStatusFields)), uint16_t(sizeof(PdStatus))},
    {"PDF5", 9, kPdArea9Fields, int(std::size(kPdArea9Fields)), uint16_t(sizeof(PdArea9))},
    {"PDF6", 11, kPdArea11Fields, int(std::size(kPdArea11Fields)), uint16_t(sizeof(PdArea11))},
    {"PDF7", 13, kPdArea13Fields, int(std::size(kPdArea13Fields)), uint16_t(sizeof(PdArea13))},
};
// The sub-areas of the three fields the compiler references by name.
inline constexpr uint32_t kPdAreaDefaultMode = 15, kPdAreaUserId = 16, kPdAreaProcessCode = 17;

// A file control area (area kind 1, 44 bytes): one per file of the process,
// set by the start of the process and used by the file statements.
struct PiFileCtl {
  Ref<EmCfi> cfi;            // 0  the compiled file reference (found by it again)
  Ref<FmArb> handle;         // 4  the open handle, null when not open
  Ref<FmArb> held;           // 8  the handle or stream whose last read held its record
  rec::U32 pool;             // 12 scope the file is opened or created in (the creation scope)
  rec::U32 owner_pool;       // 16 a memory-resident file: its class owner's pool scope
  rec::U16 beg_len;          // 20 pending BEG AT key length
  Ref<uint8_t> beg_key;      // 22 BEG AT key buffer (255 bytes)
  rec::U16 end_len;          // 26 pending END AT key length
  Ref<uint8_t> end_key;      // 28 END AT key buffer (255 bytes)
  rec::U8 beg_range;         // 32 0 or 16
  rec::U8 end_range;         // 33
  rec::U8 copy_mode;         // 34 1 own copy, 2 memory-resident copy of another class owner
  rec::U8 key_no;            // 35 current key number
  rec::U16 act_end_len;      // 36 active END AT key length
  rec::U8 act_end_range;     // 38
  rec::Bytes<5> b39;         // 39
};
QV_RECORD(PiFileCtl, 44);
QV_AT(PiFileCtl, pool, 12);
QV_AT(PiFileCtl, owner_pool, 16);
QV_AT(PiFileCtl, beg_key, 22);
QV_AT(PiFileCtl, copy_mode, 34);
QV_AT(PiFileCtl, act_end_range, 38);

// The cursor of a BEG READ loop (a private area of kind 5, 16 bytes): the
// loop's stream over the file's open handle (sharing its record buffer),
// and the loop's BEG READ instruction while the loop runs (null when none;
// the open BEG READ list of the running event point clears it on any end).
struct PiReadCursor {
  Ref<FmArb> stream;         // 0
  Ref<uint8_t> loop;         // 4
  rec::Bytes<8> b8;          // 8
};
QV_RECORD(PiReadCursor, 16);
QV_AT(PiReadCursor, loop, 4);

// The query stream control block (type 3): a query applied to the
// process's own file, at the head of the chain (the query engine reads it).
// The file manager's block, one layout for both: scope is the process
// scope (a SUBPROCESS shares its caller's), version the running
// process's, inv99 invocation byte 99, reuse invocation byte 100, level
// events 1 for Output, Update and Action processes.
using PiQryScb = FmScbQuery;

// Data area n of the PCB when it exists and holds at least size bytes;
// null otherwise (a module compiled with smaller areas has no such field).
uint8_t* pi_area(Pcb* pcb, uint32_t n, size_t size);
template <class T>
T* pi_area_rec(Pcb* pcb, uint32_t n) {
  return reinterpret_cast<T*>(pi_area(pcb, n, sizeof(T)));
}

// ------------------------------------------------------- SAA work files --
constexpr int kSaaClasses = 13;
// A slot: one area number of the class in the owner's record.
struct SaaSlot {
  Ref<uint8_t> area;     // 0  allocated from the owner's process pool; null none
  Ref<uint8_t> handed;   // 4  the area handed down by the caller; null none
  rec::U8 kind;          // 8  area kind
  rec::U8 received;      // 9  1 values come from the caller, 2 taken over (contents kept)
  rec::U8 rcv;           // 10 receive bits
  rec::U8 pass;          // 11 pass scope 0x10-0x40; bit 0 passed on, bit 1 taken over
  rec::U32 size;         // 12 bytes of the area (or of the handed-down one)
};
QV_RECORD(SaaSlot, 16);
QV_AT(SaaSlot, kind, 8);
QV_AT(SaaSlot, pass, 11);
QV_AT(SaaSlot, size, 12);
// A record: 32 bytes, then slots 1 .. count (slot 0's place stays zero).
struct SaaRec {
  Ref<Pcb> owner;        // 0  key: the PCB whose pool holds the areas
  rec::U32 count;        // 4  highest area number of the class; 0xFFFFFFFF no slots
  rec::Text<3> app;      // 8  key
  rec::Text<2> ver;      // 11 key
  rec::U8 rcv_or;        // 13 OR of the slots' receive bits
  rec::Bytes<2> b14;     // 14
  SaaSlot slot0;         // 16
  SaaSlot* slots() { return &slot0; }  // slots()[n], n = 1 .. count
  size_t bytes() const { return 32 + 16 * size_t(count == 0xFFFFFFFFu ? 0 : count.get()); }
};
QV_RECORD(SaaRec, 32);
QV_AT(SaaRec, count, 4);
QV_AT(SaaRec, app, 8);
QV_AT(SaaRec, rcv_or, 13);
// Creates the thirteen SAA work files (pi_init); earlier ones are closed.
int pi_saa_init();
// The SAA file of a class (for tests and diagnostics); null when none.
FmArb* pi_saa_file(int area_class);
// Every record of the class owned by the PCB, in key order.
std::vector<SaaRec*> pi_saa_owned(Pcb* owner, int area_class);
// Finds or creates the record (owner, application, the application's
// version in the module) of a class, grown to at least min_count slots
// (its count from the module's compiled record of the application when
// created). Null after "get_saa() - bad ap id".
SaaRec* pi_get_saa(EmHeader* em, const char* app, Pcb* owner, int area_class, uint32_t min_count = 0);
// Builds the PCB's records of one class from those of its handed-down
// owner (pcb->area_from): every area passed at the invocation's scope is
// handed down, taken over when the child replaces a caller of another
// family that owns the class.
void copy_saas(Pcb* pcb, int area_class);
// Fills the PCB's two owner tables and copies the records of the classes
// it owns; a replacing child of another family takes over the records of
// the shared classes its caller owns.
void target_pcbs(Pcb* pcb);

// ------------------------------------------------------- sharing tables --
// 1 = class not shared, indexed kind * 39 + process class * 13 + class.
extern uint8_t saa_non_shr_tbl[117];
extern const uint8_t saa_pass_tbl[3];  // by invocation kind
extern const uint8_t saa_rcv_tbl[3];   // by process class
void pi_tbl_init();
// Whether a class is shared with a child of that kind and process class;
// false for any value out of range (invariant 2).
bool pi_class_shared(int kind, int proc_class, int area_class);

// ------------------------------------------------------------- the areas --
// Creates what a PCB needs before its first start: its message file and
// the four previous ones (in the scope of its process pool; "no err file",
// "no prev err file" when one cannot be made), the area address table (all
// empty) and the run-time tables of pcb.h from its module's compiled
// records: the frame table (the CFRM record of each frame sequence up to
// the frame count), the image table (CIMG, each image sequence), the item
// table (CITM, each item number up to the item count, with two cleared
// state bytes and the item's flag byte; items numbered above the count are
// left out) and the child table (CCHLD, each child sequence, an empty value
// buffer); an Input process whose frame scrolls gets its scrolling block,
// pointing at that frame's entry ("pcb_iscroll already set" for a second
// such frame, which is left out). "bad cfrm start" ("cimg", "citm",
// "cchld") when a sub-file cannot be read. Everything comes from the
// process pool and goes with pi_free_data.
void init_pcb(Pcb* pcb);
// Whether a compiled file reference is of a memory-resident file: class 2,
// or the memory flag in its open options.
bool pi_cfi_memory(const EmCfi* cfi);
// Gives an independent run its own copy of a memory-resident file shared
// by class: the file as the caller has it (in the pool scope of the
// caller's owner of the file's class, the CFI's class) is copied, every
// record with its length, into a new file of the same identity in scope
// (a file of "0AD" with the design target of the caller's data area 9).
// Nothing is done when the caller has no such file (200340) or the scope
// has its own already. Messages "copy_fi() - can't open source file",
// "can't create dst file", "can't write dst rec", "can't close dst_arb",
// "can't close src_arb"; the handles are closed also on an unwind.
void copy_fi(Pcb* caller, PiFileCtl* fca, int scope);
// Builds the PCB's area address table (invariants 1-3); the bytes allocated
// for this process. Messages: 200750 (a constraint on another file than the
// process's own file: queued for the caller, and the process unwinds with 2).
uint32_t pi_shr_data(Pcb* pcb, int proc_scope, int sub_scope);
// The break-level table of a report process (its PCB's table and count,
// PbBreakEnt entries from the process pool): cleared, then, when the stream
// over the process's own file runs its query (a query stream), built from
// the query's sort lines (pb_break_table).
void bld_rng(Pcb* pcb);
// Fills the process data fields of a starting PCB: the process
// identification; the module's defaults of AUTO READNEXT and EXACT KEY
// REQUIRED (a process with a file of its own) and of CANCEL OK, each only
// when not blank (a blank default leaves the field as the INITIAL image
// gives it); unless a SUBPROCESS (whose other fields are its caller's) and
// a resumed process (whose fields are as it was suspended with), the user,
// the database in use (the caller's, else the start-up database, else the
// user's; "init_pdf() - invalid database" when it has no DATABASE record),
// the database options byte (DBXAP byte 6, 2 without one), the application
// in use, a DETACHED run's print and run options (rt_dflt_disp) and the
// language.
void init_pdf(Pcb* pcb, bool resumed = false);
// Fills a new area by its initialisation kind (the entry's source): 1 the
// file's INITIAL record image, 2 the work field's initial constant for
// every occurrence, else zero bytes. Messages "init_area() - Cannot read
// cfi_rec" / "cfld_rec" when the module lacks the reference.
void init_area(uint8_t* area, Pcb* pcb, const EmAreaEntry& entry);
// Deletes the PCB's SAA records and gives its module back; with full also
// frees the areas of its records (a file control area's key buffers with
// it; its handle goes with the scope it was opened in), its private areas,
// its area tables, its frame, image, item and child tables and scrolling
// block, its profile copy and its message files. Safe to call twice.
void pi_free_data(Pcb* pcb, int full = 1);
// Bytes that pi_store_data copies for the PCB: every non-file area of its
// own SAA records (the area, or without one the handed-down area).
size_t pi_store_size(Pcb* pcb);
// Copies those areas into buf / back from it (classes 0-12, records in key
// order, slots 1 .. count); 0 (after the system error "pi_store_data() -
// too much data") when size is short.
int pi_store_data(Pcb* pcb, uint8_t* buf, size_t size);
int pi_restore_data(Pcb* pcb, const uint8_t* buf, size_t size);

// Writes a record the PCB owns into the SAA file of a class (held by
// reference; from pi_pool): false when the file refused it.
bool pi_saa_put(Pcb* pcb, int area_class, SaaRec* r);

// ------------------------------------------------------ suspend, resume --
// (pisusp.cpp) An independent run whose SUBMIT PROCESS holds '1' goes to
// the background: pi_suspend writes its invocation, key constraints,
// temporary files and the shared areas it owns into a suspend file (path
// type 7 of "0SA" 00, named by the session id; written under a temporary
// name and linked to the id when complete) and runs the submit script
// (os_submit). 1 when submitted; 0 after the message, no file left.
int pi_suspend(Pcb* pcb);
// os_hooks.session_start: reads and checks the whole suspend file of the
// session (its records, their closing count and sum, the class records in
// order) and fills the invocation; false after a line on standard error
// saying why (the file stays, nothing runs).
bool pi_session_start(struct PiInvoc* inv, std::string_view session);
// Whether the PCB is the process of a session read by pi_session_start
// that waits for it (its process key).
bool pi_resuming(const Pcb* pcb);
// Gives the starting PCB what the file holds (pi_shr_data, for the first
// process of the session): its key constraints, its temporary files in its
// pool's scope, and its SAA records with their areas (contents kept,
// received flag 2; file control areas empty, so its files are opened
// anew). pi_resume_done scratches the file once the areas are built.
void pi_resume(Pcb* pcb);
void pi_resume_done();
// Forgets a session read and not resumed (a new engine state, pi_init).
void pi_session_forget();

// ------------------------------------------------------- address look-ups --
// The address of the area of reference class * 1,000,000 + number of the
// application, of the given area kind and no sub-area, plus offset; its
// index in the area address table in *index when asked. Null when none.
uint8_t* pi_find_addr(Pcb* pcb, const char* app, uint32_t reference, int kind, uint32_t offset, uint32_t* index);
// The module's file reference of (application, 8-character file name), or null.
EmCfi* pi_get_cfi(EmHeader* em, const char* app, const char* name);
// The module's application reference of an application (its version as
// compiled), or null; valid until the next read of the module's CAP file.
const EmCap* pi_get_cap(EmHeader* em, const char* app);
// The record area of a file of the process, or null.
uint8_t* pi_find_rec(Pcb* pcb, const char* app, const char* name);
