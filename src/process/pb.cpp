// Process manager: process definitions and the statement-text hook. See pb.h.
#include "process/pb.h"

#include <cstring>

PbStmtText pb_stmt_text;

int pb_stmt_line(const DStmt& stmt, char* line, int len) {
  if (pb_stmt_text.gen) return pb_stmt_text.gen(stmt, line, len);
  std::memset(line, ' ', size_t(len));
  return 1;
}

int pb_cnv_token(DStmt& stmt, const char* ver, int direction) {
  return pb_stmt_text.cnv_token ? pb_stmt_text.cnv_token(stmt, ver, direction, 0) : 1;
}
