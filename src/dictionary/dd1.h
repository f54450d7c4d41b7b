// The dictionary compiler: the design records of one application (FILE,
// RECORD, FIELD, DOMAIN, TOKEN) into the compiled dictionary the runtime
// reads (ELEMENT, FILE, INITIAL, BITMAP and the RECORD copy), file by file,
// only what changed since the last compile.
//
//   dd1.cpp      the run (dd_cmpl), messages, one file's compile, results
//   dd1elem.cpp  elements: data fields, groups, synonyms, substrings, keys,
//                special usages, area numbers, work fields
//   dd1dom.cpp   domains: the domain run, a field's domain, compile and
//                inheritance, storage from the mask, ranges
//   dd2val.cpp   values: the INITIAL and NULL images, text to binary,
//                BITMAP numbers
//
// A run's diagnostics are records of the caller's MESSAGE1 (one per run: its
// count and highest message type) and MESSAGE2 (one per message: number,
// type, object kind and name, translated text). Failing file operations
// that the design cannot explain are system errors (checkstat), which end
// the caller's scope.
//
// Stamps: two u32 words (day number, hundredths) from os_quvo_time; both
// all ones mean "must compile". The run never gives the same stamp twice in
// one engine (a stamp equal to the last one moves on by one hundredth), so
// a compile in the same hundredth as the previous one still shows as new.
//
// Decisions where the design leaves room:
//   - The memory work records (OPEN, MELEM, GROUP) are kept by the run
//     itself, in declaration order; OPEN holds an index into the run's
//     handle table, never a pointer.
//   - A bad date mask token or an unknown storage code gives the element
//     length 0, so message 102650 (never a system error, never units unset).
//   - Every binary value that does not convert (initial value, null value,
//     range value) fails its field: nothing but the value written is stored.
//   - An inherited domain is compared with its source on every domain run,
//     compiled or not; it is stored again (stamp -1) only when it differs.
//   - A record longer than 32767 bytes gives 100690 for the file.
//   - A class whose numbers would pass 999,999 gives 100820.
//   - The work fields compile all or none: a failed run writes no FIELD,
//     ELEMENT or BITMAP byte (numbers it took are freed again).
//   - The user-stamp slots (FILE 140 and 144) also take an alpha field of at
//     least 3 bytes, by special usage 6 and 7 (the runtime writes the 3-byte
//     user id there, more than a logic field holds); a shorter one, or a
//     slot taken twice, gives 100400 or 100410.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
#include "foundation/cv.h"
#include "foundation/mm.h"
#include "foundation/record.h"

// ------------------------------------------------------------ records --
// MESSAGE1: one per compile run (24 bytes; key application, version, name).
struct DMsg1 {
  rec::Text<3> app;      // 0  the run's target
  rec::Text<2> ver;      // 3
  rec::Text<8> name;     // 5
  rec::Text<3> db;       // 13 database id: not set by the compiler
  rec::U32 count;        // 16 messages of the run
  rec::U32 highest;      // 20 highest message type
};
QV_RECORD(DMsg1, 24);
QV_AT(DMsg1, count, 16);

// MESSAGE2: one per message (556 bytes; key target, blanks, sequence).
struct DMsg2 {
  rec::Text<3> app;      // 0  the run's target
  rec::Text<2> ver;      // 3
  rec::Text<8> name;     // 5
  rec::Text<3> seg4;     // 13 blanks (fourth key segment)
  rec::U32 seq;          // 16 sequence within the run (MESSAGE1 count)
  rec::Text<3> db;       // 20 blanks
  rec::U8 kind;          // 23 object kind: 1 file (or none), 2 domain, 3 field
  rec::Text<22> object;  // 24 domain or field name, or the file name
  rec::Text<2> b46;      // 46 blank
  rec::U32 number;       // 48 message number
  rec::U16 type;         // 52 type from the catalogue (1 warning, 2 error, 3 cancel)
  rec::U16 len;          // 54 text length
  rec::Text<500> text;   // 56
};
QV_RECORD(DMsg2, 556);
QV_AT(DMsg2, seq, 16);
QV_AT(DMsg2, kind, 23);
QV_AT(DMsg2, number, 48);
QV_AT(DMsg2, text, 56);

// OPEN: a design file opened by the run (20 bytes).
struct DdOpen {
  rec::Text<3> app;      // 0
  rec::Text<2> ver;      // 3
  rec::Text<8> name;     // 5
  rec::U32 handle;       // 13 index into the run's handle table
  rec::Bytes<3> spare;   // 17
};
QV_RECORD(DdOpen, 20);

// MELEM: an element being built, with its compile-only values (600 bytes).
struct DdMelem {
  DElem e;               // 0
  rec::U8 b592;          // 592
  rec::U8 sign;          // 593 1 signed (from the mask)
  rec::U8 null_digits;   // 594 integer digits of the null value
  rec::U8 int_digits;    // 595 integer digits of the mask
  rec::U8 segs;          // 596 key segments per occurrence (1 or 2; 0 group header)
  rec::Bytes<3> spare;   // 597
};
QV_RECORD(DdMelem, 600);
QV_AT(DdMelem, segs, 596);

// GROUP: one open group level (62 bytes).
struct DdGroup {
  rec::U16 level;        // 0
  rec::Text<22> name;    // 2  group name
  rec::Text<22> last;    // 24 name of its last field
  rec::U16 total;        // 46 total length of its members
  rec::U32 first_no;     // 48 element number of the first member
  rec::U16 first_off;    // 52 its offset
  rec::U16 segs;         // 54 key segments of the members
  rec::U16 next_field;   // 56 field number the next member should have
  rec::U8 contiguous;    // 58 1 while members follow each other
  rec::U8 has_first;     // 59 1 once a member was seen
  rec::U8 key_slot;      // 60 FILE key slot of a group key, 255 none
  rec::U8 spare;         // 61
};
QV_RECORD(DdGroup, 62);

// ------------------------------------------------------------- the run --
struct DdRun {
  char app[4] = "   ";
  char ver[3] = "  ";
  char name[9] = "        ";
  bool standalone = false;
  bool failed = false;        // a design file could not be opened
  FmArb* msg1 = nullptr;
  FmArb* msg2 = nullptr;
  FmArb *elem = nullptr, *dom = nullptr, *fld = nullptr, *file = nullptr, *rec = nullptr,
        *bitmap = nullptr, *token = nullptr, *init = nullptr;
  MmPool pool = 0;
  std::vector<FmArb*> handles;   // OPEN's handle table
  size_t own_from = 0;           // handles from here on were opened by the run
  std::vector<DdOpen> open;
  std::vector<DdMelem> melem;
  std::vector<DdGroup> group;
  uint16_t group_lvl = 0;
  uint16_t key_tbl[17] = {};
  std::vector<uint8_t> init_img, null_img;  // images of the file being compiled
  DFile* fi = nullptr;           // the FILE buffer of the file being compiled
  bool fi_failed = false;
};

// Message files of a run (memory-resident, in the caller's scope): 1 MESSAGE1,
// 2 MESSAGE2. 1 and the handle, or 0 with the status in the FDB.
int dd_msg_create(int which, int scope, FmArb** out);

// The compiler. flag 0: a run not started from 4GL code (standalone: the
// progress lines on standard output and the record-length alignment test).
// target: application 3, version 2, name 8 ("*       " the work fields,
// eight blanks the domains). Returns 1.
int dd_cmpl(int flag, const char* target, FmArb* msg1, FmArb* msg2);
// Design files of the target that a caller has open (memory-resident ones,
// say): the run uses these handles instead of opening the files; a null
// one is opened as usual. The run leaves them open.
struct DdFiles {
  FmArb *elem = nullptr, *dom = nullptr, *fld = nullptr, *file = nullptr, *rec = nullptr,
        *bitmap = nullptr, *token = nullptr, *init = nullptr;
};
int dd_cmpl(int flag, const char* target, FmArb* msg1, FmArb* msg2, const DdFiles* files);
// `DD_CMPL`, the compiler called from 4GL code: CALL ",DD_CMPL" after
// PASSing the target (13 characters: application, version, name) and the
// caller's MESSAGE1 and MESSAGE2 files. args as CALL gives them: the count,
// the PCB when called with it, then the three arguments. 1 after the run;
// 0 without running when the arguments are not a target and two files of
// the message records' lengths. The caller's handles keep their buffers.
int32_t DD_CMPL(const uint32_t* args);
// Registers DD_CMPL among the interpreter's internal functions; called
// before the engine starts, so that the table's row is the compiler.
void dd_register();
// Records one message of the run (kind 1 file or none, 2 domain, 3 field).
void dd_err(DdRun* r, uint32_t number, int kind, const char* name, size_t name_len);
// The handle of a design file of app and ver, opened once per run; null
// with the status in *status.
FmArb* open_dsgn_fi(DdRun* r, const char* builder, const char* app, const char* ver, uint32_t* status);

// A failed file operation the design cannot explain: checkstat's system
// error, then the caller's scope ends (code 3) whatever the answer.
[[noreturn]] void dd_fail(uint32_t status, const char* text, const char* module, int line);
[[noreturn]] void dd_sys_err(const char* module, int line, const char* text);

// A new stamp (never the same twice in one engine).
void dd_stamp(uint8_t out[8]);
// From now on stamps count up from start, a hundredth of a second each, and
// never read the clock, so that the same design records compile to the same
// bytes (the generator's builds); nullptr goes back to the clock.
void dd_stamp_from(const uint8_t start[8]);
bool dd_stamp_unset(const uint8_t s[8]);
// Blank test and trimmed length of a text.
bool dd_blank(const char* s, size_t n);
size_t dd_trim_len(const char* s, size_t n);

// --- one file (dd1.cpp) ---
void vfy_fi(DdRun* r);
bool cmpl_fi(DdRun* r);
bool comp_struct(DdRun* r);
void upd_src_fi(DdRun* r);

// --- elements (dd1elem.cpp) ---
bool cmpl_dom_fld(DdRun* r, DField* f, DdMelem* m, int offset);
bool bld_elem(DdRun* r, const DDomain* d, const DField* f, DdMelem* m);
bool cpy_elem(DdRun* r, const DField* f, DdMelem* m);
bool cmpl_group_hdr(DdRun* r, const DField* f, DdMelem* m);
bool cmpl_syn_substr(DdRun* r, const DField* f, DdMelem* m);
bool upd_group(DdRun* r, DdMelem* m);
bool proc_key(DdRun* r, DdMelem* m, int asked);
bool fi_usage_type(DdRun* r, DdMelem* m, int dom_kind);
// Area number: class from the share codes, mode 1 or 2 (class at most 2), 3
// a file's, 4 a work field's; name: the file (modes 1-3) or work field.
bool proc_ano(DdRun* r, uint32_t* area, int share_a, int share_b, int mode, const char* name);
int dd_area_class(int share_a, int share_b, int mode);
void vfy_wrk_fld(DdRun* r);

// --- domains (dd1dom.cpp) ---
void vfy_dom(DdRun* r);
// The field's domain into *d; false after its message.
bool get_ddom(DdRun* r, const DField* f, DDomain* d);
bool cmpl_dom(DdRun* r, DDomain* d);
bool parse_msk(DdRun* r, DdMelem* m, const DDomain* d);
bool vfy_fld_rng(DdRun* r, const DField* f, const DDomain* d, DdMelem* m);
bool vfy_no_rng(DdRun* r, const char* text, size_t len, DdMelem* m);
bool vfy_dom_rng(DdRun* r, const char* text, size_t len, int code, DdMelem* m, int64_t* min, int64_t* max);

// --- values (dd2val.cpp) ---
// Text (len bytes, no blanks) to a binary integer of size 1, 2 or 4 (0 = 4)
// bytes at result: digits, one '.', '-'. 1, or 0 with *msg: 100350 another
// character, 100790 more decimals than wanted, 100550 negative unsigned,
// 100680 a value that does not fit the size. *value (when given) the value.
int bin_etoi(const char* text, void* result, int decimals, int len, int size, bool is_signed,
             uint32_t* msg, int64_t* value = nullptr);
// The element's null and initial value into the run's images at its offset;
// false when the field fails (its message recorded).
bool null_etoi(DdRun* r, DdMelem* m);
bool init_etoi(DdRun* r, DdMelem* m);
// The same on caller images (tests and tools): img has the record length.
bool null_etoi_img(DdRun* r, DdMelem* m, uint8_t* img);
bool init_etoi_img(DdRun* r, DdMelem* m, uint8_t* img, const uint8_t* null_img);
// A free number of the class (a nonzero *number not above the highest given
// is kept), marked used. 1; 0 after message 100820 (the class is full).
int bit_find(DdRun* r, uint32_t* number, uint32_t cls);
// Clears a number of its class (a missing page frees nothing).
void bit_free(DdRun* r, uint32_t number, uint32_t cls);
// Writes the INITIAL records of the file (every old one deleted first).
void dd_write_images(DdRun* r, FmArb* init, const char* file, const std::vector<uint8_t>& ini,
                     const std::vector<uint8_t>& nul);
