// Process manager: the process definitions of the dictionary, and query
// streams.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
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
  PbKeyDef key;                         // sort fields; the build adds the ordinal
  std::string criteria;                 // the criteria records (QPARM, QSLCT, QSORT) as
                                        // read: reuse mode 1 compares them
};
// The source of a query's definition (restoring the query process and
// reading its criteria): 1 with *out filled, 0 when the query cannot be
// built. Without one every attach fails with 200650.
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
