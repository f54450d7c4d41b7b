// Process manager: the process definitions of the dictionary.
#pragma once

#include <cstdint>

#include "files/dictrec.h"

struct PbStmtText {
  // The line of a statement (listing form) into len characters; 1.
  int (*gen)(const DStmt& stmt, char* line, int len) = nullptr;
  // Token numbers of a SET, IF, AND or OR operand to names (direction 1)
  // or back (2); 1, or 0 when a name or number is refused.
  int (*cnv_token)(DStmt& stmt, const char* ver, int direction, int use_open) = nullptr;
};
extern PbStmtText pb_stmt_text;

int pb_stmt_line(const DStmt& stmt, char* line, int len);

// Reads the PROCESS record of the process `name` (30 characters, blank
// padded) of type `type` from the dictionary of application `app`, version
// `ver` (version "00" for the system applications) into *out (may be
// null). Nonzero when it exists; 0 when it does not, or when the dictionary
// cannot be opened (the file manager's status left in the current
// system-error text). flags: kPbMemory when the dictionary is held in
// memory-resident files (generated processes, tests), else 0.
constexpr int kPbMemory = 1;
int pb_get_dproc(const char* app, const char* name, const char* ver, int type, DProc* out, int flags);
int pb_cnv_token(DStmt& stmt, const char* ver, int direction);
