// Process manager: the process definitions of the dictionary, and query
// streams.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
#include "process/em.h"
#include "process/pbutil.h"

// Reads the PROCESS record of the process `name` (30 characters, blank
// padded) of type `type` from the dictionary of application `app`, version
// `ver` (version "00" for the system applications) into *out (may be
// null). Nonzero when it exists; 0 when it does not, or when the dictionary
// cannot be opened (the file manager's status left in the current
// system-error text). flags: kPbMemory when the dictionary is held in
// memory-resident files (generated processes, tests), else 0.
constexpr int kPbMemory = 1;
int pb_get_dproc(const char* app, const char* name, const char* ver, int type, DProc* out, int flags);

// ------------------------------------------------------- query streams --
// A stream attached with a query control block (type 2) reads its file
// through the query's active query: the records its selection chooses, in
// the order of its sort fields, with level starts and ends when the block
// asks for them. One active query lives per (scope, application, query
// name); a second stream of the same scope reuses, checks, rebuilds or
// narrows it by the block's reuse mode. Active queries and stream cursors
// are objects of the engine, never stored; they end with their scope
// (pb_clr_scope), a cursor with its stream.

// What an active query is built from.
struct PbQueryDef {
  std::vector<PbQslct> lines;           // selection lines (QSLCT)
  std::string text8, text9;             // selection texts; blank or empty: none
  // A line's outcome for a record (the line's relation between its field
  // and its value or field).
  std::function<bool(const PbQslct& line, const uint8_t* rec)> test;
  PbKeyDef key;                         // sort fields; the build adds the ordinal (a field
                                        // past the file's record length fails the attach)
  std::string criteria;                 // the criteria records (QPARM, QSLCT, QSORT) as
                                        // read: reuse mode 1 compares them
  uint32_t reads_to = 0;                // the end of the record bytes `test` reads: a
                                        // record shorter than that fails the attach
  // The files whose fields `test` and the sort read (an element's file
  // name; a work field: empty). Both read the query's own records: a field
  // of any other file fails the attach. None given: not checked.
  std::set<std::string> files;
  int id_key = -1;                      // -1: a record's id is its address; else the number
                                        // of the unique key whose value is its id (a file
                                        // without that key unique: the address)
  // Key constraints that came with the query process: only records holding
  // the values (laid end to end in the order of cns) are chosen.
  std::vector<uint8_t> cns_values;
  std::vector<FmCns> cns;
  // A tagged query: its records are the ones the user tagged, in tag order,
  // without selection, sort or levels. tags(ids, status) takes the tags'
  // record ids (id_key values) when the query runs: 1, or 0 with *status.
  bool tagged = false;
  std::function<int(std::vector<std::string>* ids, uint32_t* status)> tags;
  std::array<uint8_t, 4> info{{' ', ' ', ' ', ' '}};  // the first bytes of the query
                                                      // process's area 17 (pb_get_info)
  // Set by the caller: only `criteria` is wanted (reuse mode 1 compares
  // them with an active query's), nothing is restored or compiled.
  bool criteria_only = false;
};
// The source of a query's definition (restoring the query process and
// reading its criteria): 1 with *out filled, 0 when the query cannot be
// built (the attach then fails with 200650). The default (and nullptr) is
// pb_qfi_define.
using PbDefine = std::function<int(const FmScbQuery& q, PbQueryDef* out)>;
void pb_set_define(PbDefine define);
// Called once per record the selection reads (the engine's yield).
void pb_set_yield(std::function<void()> yield);

// The progress line of a query (when QUVO_SHOW_PROGRESS is set at pb_init):
// show(text) puts up or replaces the line, show(nullptr) removes it. The
// default (and nullptr) is the screen's message line.
void pb_set_progress(std::function<void(const char* text)> show);

// Installs the query engine in the file manager (its attach hook and the
// stream operations). Returns 1; safe to call again.
int pb_init();
// Ends the active queries of a scope, those hidden by a narrower query too.
void pb_clr_scope(int scope);

// What an active query has done, for the engine's display and its tests.
struct PbCounts {
  uint32_t id = 0;          // query id (names its temporary files)
  bool executed = false;
  uint32_t selected = 0, refused = 0, delivered = 0;
  uint32_t cursors = 0;     // streams attached to it
};
// The active query of (scope, application, name): 1 with *out, 0 none.
int pb_counts(int scope, const char* app, const char* name, PbCounts* out);
// Active queries of a scope, hidden ones included.
size_t pb_active(int scope);

// What pb_get_info reports of the active query a stream reads: it runs the
// query when it has not run, then gives the number of records selected and
// the first four bytes of the query process's area 17. 1; 0 with the
// stream's status when the stream is no query stream or the query fails.
struct PbInfo {
  uint32_t selected = 0;
  std::array<uint8_t, 4> area17{{' ', ' ', ' ', ' '}};
};
int pb_get_info(FmArb* stream, PbInfo* out);
// Shuts down the active query of (scope, application, name), if there is
// one (its streams then read nothing more). The query executor calls it
// before new criteria are edited.
void pb_cleanup(int scope, const char* app, const char* name);

// ----------------------------------------- the query's suspend file --
// A Query process leaves its state for the query engine in a suspend file
// (a memory file of variable records, path type 7 on its application's
// source path, named from the process definition's modification stamp), and
// its identity in the pending list. The file's records, in order:
//   1. the header (PbSuspHead);
//   2. with key constraints: their values laid end to end (cns_len bytes),
//      then one record of 8 bytes per constraint (FmCns and two zero bytes);
//   3. one record per entry of the module's area table, as pb_susp_plan
//      gives them;
//   4. "QSUS", the number of records before it and their CRC-32C (each
//      record's length, then its bytes): a file cut short or damaged is
//      refused whole.
// Writer and reader follow the one plan: a data area of kind 0, 2 or 3 is
// saved whole (kind 0 holds the process's records and work fields, which
// its selection lines and area 17 refer to), a file area (kind 1) by its
// file descriptor, areas placed inside another and kinds 4 and up not.
struct PbSuspHead {
  rec::Text<3> app;          // 0   application of the query process
  rec::Text<30> name;        // 3   its name
  rec::U8 em_byte;           // 33  from the module header
  rec::Bytes<2> b34;         // 34
  rec::U32 em_word1;         // 36  from the module header
  rec::U32 em_word2;         // 40
  rec::Text<3> q_app;        // 44  query constraint: application (blank: none)
  rec::Text<30> q_name;      // 47  its query name
  rec::U8 q_reuse;           // 77  its reuse mode
  rec::U16 inv_word;         // 78  the invocation's next field
  rec::U32 cns_count;        // 80  key constraints
  rec::U32 cns_len;          // 84  bytes of their values
  rec::U8 tagged;            // 88  the module's query style: 1 the user tags the records
  rec::Text<30> extra;       // 89  name of the control block's extra entry
  rec::U8 b119;              // 119
};
QV_RECORD(PbSuspHead, 120);
QV_AT(PbSuspHead, em_word1, 36);
QV_AT(PbSuspHead, q_app, 44);
QV_AT(PbSuspHead, q_reuse, 77);
QV_AT(PbSuspHead, cns_count, 80);
QV_AT(PbSuspHead, tagged, 88);
QV_AT(PbSuspHead, extra, 89);

// What one area-table entry puts in the file.
struct PbSuspEntry {
  uint32_t area;             // index into the area table
  uint8_t what;              // 1 the area's contents, 2 its file descriptor (72 bytes)
  uint32_t size;             // the record's length
};
std::vector<PbSuspEntry> pb_susp_plan(const std::vector<EmAreaEntry>& areas);

// A suspend file's contents.
struct PbSusp {
  PbSuspHead head{};
  std::vector<uint8_t> cns_values;
  std::vector<FmCns> cns;
  std::vector<std::vector<uint8_t>> records;   // one per plan entry, in order
};
// The identity of a query process's suspend file in `scope`: the file
// descriptor to open it with.
void pb_susp_ident(const char* app, const char* ver, const DProc& def, int scope, FmFdb* out);
// Writes the file (an old one of the identity scratched first) and adds
// the identity to the pending list. The records must follow the plan of
// `areas`. 1, or 0 (after the system error).
int pb_susp_write(const FmFdb& ident, const PbSusp& s, const std::vector<EmAreaEntry>& areas);
// Reads and checks a whole file: 1 with *out; 0 with *status: 200340 when
// it does not exist, 200630 when it is cut short, damaged or does not
// follow the plan of *areas (null: records taken as they come). Scratches
// the file when asked and it was read.
int pb_susp_read(const FmFdb& ident, const std::vector<EmAreaEntry>* areas, PbSusp* out, uint32_t* status,
                 bool scratch);

// The pending list: identities (28 bytes: scope word, application,
// version, name, database, source application and version, path type) of
// the query scopes' suspend files.
int pb_pend_add(const FmFdb& ident);
bool pb_pend_has(const FmFdb& ident);
int pb_pend_del(const FmFdb& ident);

// Runs a query process for the user so that it leaves its suspend file,
// with `parent` (a PCB, or null) as its caller. The default runs it through
// the process runner (type 5, SUBPROCESS, automatic mode 1). Returns 1 when
// it ran.
using PbInvokeSetup = std::function<int(const FmScbQuery& q, void* parent)>;
void pb_set_invoke_setup(PbInvokeSetup f);
int pb_invoke_setup(const FmScbQuery& q, void* parent);

// The query process of a query block restored from its suspend file:
// its header, key constraints and saved areas; the pending record goes and
// the file is scratched. -1 when the query has no PROCESS record of type
// 5 (nothing to restore); 0 when its suspend file cannot be had or is
// refused (after the system error); 1 restored.
struct PbSuspLoaded {
  PbSuspHead head{};
  std::vector<uint8_t> cns_values;
  std::vector<FmCns> cns;
  std::vector<std::vector<uint8_t>> records;
  std::array<uint8_t, 4> area17{{' ', ' ', ' ', ' '}};
};
int pb_load_suspend(const FmScbQuery& b, PbSuspLoaded* out);

// Criteria for the queries a process's invocation names: for each query
// block (type 3) of the list without an active query (or with reuse mode
// 2), when the query process exists and its suspend file is not pending,
// the query process is run for the user (pb_invoke_setup with pcb as its
// caller). Stops at the first query it cannot give criteria.
void pb_auto_setup(void* pcb, const FmScb* list);

// ------------------------------------------------ break-level table --
// An entry of a report process's break-level table (64 bytes): one per
// sort line of its query marked as a break (QSORT byte 87 '1'), after a
// grand-total entry when the first line's sequence is not 0.
struct PbBreakEnt {
  rec::Text<3> app;          // 0   application of the sort field (blank: grand total)
  rec::Text<22> field;       // 3   its name
  rec::U8 b25;               // 25
  rec::U16 levels;           // 26  level count (QSORT bytes 66-67, 1 when 0; 0: grand total)
  rec::Text<30> label;       // 28  the field's label (blank for the first entry and when
                             //     the element cannot be read)
  rec::U8 flags[5];          // 58  1 where QSORT bytes 70, 71, 73, 72, 74 hold '1'
  rec::U8 b63;               // 63
};
QV_RECORD(PbBreakEnt, 64);
QV_AT(PbBreakEnt, levels, 26);
QV_AT(PbBreakEnt, label, 28);
QV_AT(PbBreakEnt, flags, 58);
// The break-level table of the query (app, name) from its QSORT lines in
// `scope`, labels from the ELEMENT dictionaries under version `ver` ("00"
// for a system application). 1 with *out (empty: no break line); 0 when
// the lines cannot be read (after the system error).
int pb_break_table(int scope, const char* app, const char* name, const char* ver, std::vector<PbBreakEnt>* out);

// ------------------------------------------------ query definitions --
// The default source of a query's definition: the query process restored
// from its suspend file (pb_load_suspend; a query without a PROCESS record
// of type 5 has none) and its criteria read from the query files of the
// block's scope: QPARM's texts, the QSLCT lines, the QSORT lines whose
// fields come from the ELEMENT dictionary of their application (version
// "00" for a system application, else the block's), each selection line
// tested on the dictionary's description of its fields (pb_line_test).
// A record's id is the value of the file's primary key when it is unique
// (else its address); a tagged query takes its QTAG records' ids as such
// ids, and consumes them.
int pb_qfi_define(const FmScbQuery& b, PbQueryDef* out);

// A selection line compiled against the dictionary: the left field (its
// ELEMENT, occurrence) and the right operand (a value converted as the
// left field converts, or a second field) under the line's relation (1 =,
// 2 >=, 3 >, 4 <=, 5 <, 6 <>, 7 contains). Values compare in the field's
// sort order (pb_enc_key), numbers of different storage by value, alpha
// texts blank padded. 1 with *out and *reads_to, the end of the record
// bytes it reads; or 0 with *status 102520 (a value the field does not
// take) or 200650 (a field not in the dictionary, an occurrence it does not
// have). files (when given) gets the file of each field the test reads
// (its element's file name; a work field: empty).
using PbLineTest = std::function<bool(const uint8_t* rec)>;
int pb_line_test(const PbQslct& line, const char* ver, PbLineTest* out, uint32_t* status, uint32_t* reads_to,
                 std::vector<std::string>* files = nullptr);
