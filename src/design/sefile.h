// Statement blocks: the statements of one owner (a process, frame, image or
// child invocation) at one event point, as text lines and as STMT records.
//
// The statement files of the applications' sources hold such blocks: a
// header naming the owner and the event point, then one statement line a
// line, written with the built-in spellings (se_load_spellings(true)) and
// without trailing blanks; a line shorter than 80 characters reads as if
// blank-padded. Reading a block gives records in line order with the
// block's key, sequence = position x 100 (100, 200, ...) and no audit
// stamps (both stamps all ones, no users) unless the caller sets them.
//
// Block header: "statements EP [frame CLASS NUMBER] [image N] [child D N]",
// EP the event point code (1-11, 21-25, 41-46, 61-62), the owner
// qualifiers as the STMT key holds them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "design/se.h"
#include "design/se_valid.h"
#include "process/pc.h"

// The key of a block: STMT bytes 0-47.
struct SeBlockKey {
  uint8_t proc_type = 0;
  std::string proc_name;
  uint8_t frame_class = 0;
  uint32_t frame_no = 0;
  uint8_t image_no = 0;
  uint8_t child_disc = 0;
  uint32_t child_no = 0;
  uint8_t event_point = 0;
};

// A record's block key, and the key's first 48 STMT bytes (the rest of the
// record blank, no stamps).
SeBlockKey se_block_key(const DStmt& stmt);
void se_stmt_init(DStmt* stmt, const SeBlockKey& key);

// The header line of a block, and back (false with *col the 1-based column
// of the first word that does not fit).
std::string se_block_header(const SeBlockKey& key);
bool se_parse_block_header(const std::string& line, SeBlockKey* key, int* col);

// Reads a block's lines (the first at line number first_line of file).
// Every refusal adds "file:line:column: what" to errors (the line is left
// out), every warning "file:line:column: WARNING - ..." to warnings.
// validator null: the lines are converted and checked alone. Result: the
// count of refused lines.
// line_nos (when given) gets the line number of each record added.
int se_read_block(const SeBlockKey& key, const std::vector<std::string>& lines, const std::string& file,
                  int first_line, SeValidator* validator, std::vector<DStmt>* out,
                  std::vector<std::string>* errors, std::vector<std::string>* warnings,
                  std::vector<int>* line_nos = nullptr);

// The lines of records (trailing blanks cut), in the order given.
std::vector<std::string> se_write_block(const std::vector<DStmt>& stmts);

// A verb's empty line with its operand fields marked, for writing lines by
// hand: the line (T/F blank, verb, template), a line marking each field's
// columns with its letter ('a' the first), then one line per field:
// "letter column width name kind[, required]".
std::vector<std::string> se_verb_template(int verb);

// ------------------------------------------------------ statement files --
//
// A statement file holds the statements of one or more processes:
//   process TYPE NAME          (TYPE 1-10 or its word: menu, input, output,
//                              action, query, subroutine, update, job,
//                              inquiry, status; NAME the rest of the line)
//   statements EP [frame C N] [image N] [child D N]
//   <statement lines>
//   statements ...
// Lines beginning with '#' and empty lines are comments. Every other line
// after a block header is a statement line of that block. A header or
// statement out of place is an error at file:line:column; the lines under
// a refused header are left out without an error of their own.

struct SeFileResult {
  std::vector<DStmt> stmts;             // in file order, sequences per block
  std::vector<int> lines;               // the line of each record
  std::vector<std::string> errors;      // "file:line:column: what"
  std::vector<std::string> warnings;
  struct Proc {
    int type;
    std::string name;
    int line;
  };
  std::vector<Proc> procs;              // the process headers accepted, in file order
};

// A process type's code from its number (1-10) or word (any case), 0 for
// neither; its name as messages show it ("Subroutine"), "process" for
// another code.
int se_proc_type_code(const std::string& word);
const char* se_proc_type_name(int type);

// Whether the process of a header exists: "" when it does, else the
// refusal's text (the header is refused at its type's column).
using SeProcCheck = std::function<std::string(int type, const std::string& name)>;

// Reads a statement file's text (path names it in the messages). The count
// of errors. procs (when given) checks each process header.
int se_read_file(const std::string& path, const std::string& content, SeValidator* validator,
                 SeFileResult* out, const SeProcCheck& procs = {});
// The text of records (grouped in the order given: a process header when
// the process changes, a block header when the owner or event point does).
std::string se_write_file(const std::vector<DStmt>& stmts);

// The STMT records of an application's dictionary (version "00" for the
// system applications), in key order, with token numbers shown as names
// (cnv_token direction 1 against dict): the list mode. 1, or 0 when the
// STMT file cannot be opened or read (the status in *status).
int se_list_dict(const char* app, const char* ver, SeDict* dict, std::vector<DStmt>* out,
                 uint32_t* status = nullptr);
// The statements a check compiles: a memory-resident STMT file of the
// application, in the current scope, holding the records of `stmts` (token
// names stored as numbers), to be set as the application's statement source
// for the processes read (pc_set_stmt_source with se_checked_procs): those
// compile from it, any other process's statements (a COPY's) from the
// dictionary. Its handle, open in the current scope, or null with the
// reason in errors.
FmArb* se_check_file(const char* app, const char* ver, SeDict* dict, const std::vector<DStmt>& stmts,
                     std::vector<std::string>* errors);
std::vector<PcCheckedProc> se_checked_procs(const std::vector<SeFileResult::Proc>& procs);
// Writes records into an application's STMT file (created when missing),
// token names stored as numbers (cnv_token direction 2). The count written,
// -1 when the file cannot be created or opened; a refused token or a
// failed write is reported in errors and the record left out.
int se_store_dict(const char* app, const char* ver, SeDict* dict, const std::vector<DStmt>& stmts,
                  std::vector<std::string>* errors, bool memory = false);
