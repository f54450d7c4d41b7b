// Process manager: the process definitions of the dictionary and the
// services the process manager reaches in the design layer.
//
// Statement text: the process compiler's listings and compile errors and the
// debugger show statements as 80-column lines. The text is the design
// layer's (se_gen_stmt, cnv_token); it registers them here at start-up
// (se_register, from main). Until registered, pb_stmt_line writes blanks and
// pb_cnv_token does nothing.
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
int pb_cnv_token(DStmt& stmt, const char* ver, int direction);
