// Process data areas and their sharing between a process and its caller.
//
// Every running process addresses its data through the area address table
// of its PCB: one address per entry of its module's area table (entry N of
// the table is "data area N"). pi_shr_data builds that table when a process
// starts: an area is either the caller's own area (shared) or a private one
// that this PCB allocated (and frees again in pi_free_data).
//
// Invariants:
//   1. An area address is owned by exactly one PCB: area_own[n] is 1 in the
//      PCB that allocated address n; a sharing PCB holds the address only.
//      pi_free_data frees exactly the owned areas, so no area is freed twice
//      and none is left behind when a family is discarded.
//   2. A class is shared only when the caller exists, the run is not
//      independent, and the sharing table marks the class as shared for the
//      invocation kind and process class. Class, kind and process class are
//      checked before the table is indexed: a class outside 0-12, a kind
//      outside 0-2 or a process class outside 0-2 is never shared.
//   3. A handed-down area is copied by the smaller of the two sizes; the rest
//      of the new area is initialised (a caller compiled against an older
//      dictionary is never read past its end).
//
// Process classes, area classes and the sharing table: area class 0 is never
// shared; class c (1-12) has reach (c - 1) / 4 + 1 (1 SUBPROCESS, 2 RELATED,
// 3 DETACHED) and receive level (c - 1) % 4. A class is shared with a child
// of kind k and process class p when reach >= k + 1 and level >= 3 - p.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/record.h"

struct Pcb;
struct EmAreaEntry;
struct EmCfi;
struct EmHeader;

// --------------------------------------------- process data area records --
// Only the fields the process manager reads are named; the executors give
// the other bytes their meaning.

// Data area 1: the run's background request.
struct PdArea1 {
  rec::Bytes<630> b0;
  rec::U8 background;        // 630 '1': an independent run goes to the background
};
QV_RECORD(PdArea1, 631);
QV_AT(PdArea1, background, 630);

// Data area 5: the invocation's database.
struct PdArea5 {
  rec::Bytes<30> b0;
  rec::Text<3> db;           // 30 database of the next RELATED or DETACHED run
};
QV_RECORD(PdArea5, 33);
QV_AT(PdArea5, db, 30);

// Data area 7: the status record.
struct PdStatus {
  rec::U32 errors;           // 0
  rec::U32 warnings;         // 4
  rec::Bytes<28> b8;         // 8
  rec::U16 option;           // 36 option code (278 CANCEL)
  rec::Bytes<25> b38;        // 38
  rec::Text<3> next_db;      // 63 one-shot
  rec::Text<3> next_app;     // 66 one-shot: the application of the next invocation
  rec::Text<2> next_ver;     // 69 one-shot
  rec::Bytes<58> b71;        // 71
  rec::Text<256> next_path;  // 129 one-shot
  rec::Bytes<279> b385;      // 385
  rec::Text<3> next_lang;    // 664 one-shot: the language of the next invocation
};
QV_RECORD(PdStatus, 667);
QV_AT(PdStatus, option, 36);
QV_AT(PdStatus, next_db, 63);
QV_AT(PdStatus, next_app, 66);
QV_AT(PdStatus, next_ver, 69);
QV_AT(PdStatus, next_path, 129);
QV_AT(PdStatus, next_lang, 664);

// Data area 9: where the process runs.
struct PdArea9 {
  rec::Text<3> cur_db;       // 0 current database
  rec::U8 db_opts;           // 3 the application's database options (2: check security codes)
  rec::Bytes<120> b4;        // 4
  rec::Text<3> design_app;   // 124 the design target
  rec::Text<2> design_ver;   // 127
};
QV_RECORD(PdArea9, 129);
QV_AT(PdArea9, db_opts, 3);
QV_AT(PdArea9, design_app, 124);
QV_AT(PdArea9, design_ver, 127);

// Data area 11: the application shown and the file status.
struct PdArea11 {
  rec::Text<3> app;          // 0
  rec::Text<2> ver;          // 3
  rec::Bytes<31> b5;         // 5
  rec::U32 file_status;      // 36
};
QV_RECORD(PdArea11, 40);
QV_AT(PdArea11, file_status, 36);

// Data area n of the PCB when it exists and holds at least size bytes;
// null otherwise (a module compiled with smaller areas has no such field).
uint8_t* pi_area(Pcb* pcb, uint32_t n, size_t size);
template <class T>
T* pi_area_rec(Pcb* pcb, uint32_t n) {
  return reinterpret_cast<T*>(pi_area(pcb, n, sizeof(T)));
}

// ------------------------------------------------------- sharing tables --
constexpr int kSaaClasses = 13;
// 1 = class not shared, indexed kind * 39 + process class * 13 + class.
extern uint8_t saa_non_shr_tbl[117];
extern const uint8_t saa_pass_tbl[3];  // by invocation kind
extern const uint8_t saa_rcv_tbl[3];   // by process class
void pi_tbl_init();
// Whether a class is shared with a child of that kind and process class;
// false for any value out of range (invariant 2).
bool pi_class_shared(int kind, int proc_class, int area_class);

// ------------------------------------------------------------- the areas --
// Builds the PCB's area address table (invariants 1-3); the bytes allocated
// for this process. Messages: 200750 (a constraint on another file than the
// process's own file: queued for the caller, and the process unwinds with 2).
uint32_t pi_shr_data(Pcb* pcb, int proc_scope, int sub_scope);
// Frees what the PCB owns: its areas, its area tables, its profile copy, its
// message file; gives its module back. Safe to call twice.
void pi_free_data(Pcb* pcb);
// Bytes that pi_store_data copies for the PCB (every data area it
// addresses, file control areas left out).
size_t pi_store_size(Pcb* pcb);
// Copies the areas into buf / back from it, in area-table order; 0 (after
// the system error "pi_store_data() - too much data") when size is short.
int pi_store_data(Pcb* pcb, uint8_t* buf, size_t size);
int pi_restore_data(Pcb* pcb, const uint8_t* buf, size_t size);

// ------------------------------------------------------- address look-ups --
// The address of the area of reference class * 1,000,000 + number of the
// application, of the given area kind and no sub-area, plus offset; its
// index in the area address table in *index when asked. Null when none.
uint8_t* pi_find_addr(Pcb* pcb, const char* app, uint32_t reference, int kind, uint32_t offset, uint32_t* index);
// The module's file reference of (application, 8-character file name), or null.
EmCfi* pi_get_cfi(EmHeader* em, const char* app, const char* name);
// The record area of a file of the process, or null.
uint8_t* pi_find_rec(Pcb* pcb, const char* app, const char* name);
