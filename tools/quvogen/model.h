// The system applications as read from their sources: file definitions,
// work fields, records and processes of each application, with the checks
// that need no record layouts (names, duplicates, placement).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "srcform.h"

namespace qg {

// Data type codes of a field.
constexpr int kTypeAlpha = 1, kTypeBinary = 5, kTypePacked = 8, kTypeLogic = 11, kTypeDecimal = 12;
constexpr int kTypeDateText = 4, kTypeDateBin = 7, kTypeDatePacked = 10, kTypeDateStd = 15;

struct FieldDef {
  std::string name;
  Pos at;
  bool typed = false;   // type and length given (always, outside declared files)
  int type = 0;
  int len = 0;          // length of one occurrence
  int occurs = 1;
  int key = -1;         // key number: 0 primary, 1-16 alternate, -1 none
  bool dup = false;
  bool is_signed = false;
  int decimals = 0;
  int justify = 0;      // justification rule of a text field (0-4)
  int stamp = -1;       // the file's special-usage slot the field fills (0-9), -1 none
  int scan = 0;         // scan code (1-31): a descriptive field of its file's records, 0 none
  // the field's look-up: a field (a key) of a file whose record it names
  std::string lookup_app, lookup_file, lookup_field;
  Pos lookup_at;
  bool has_mask = false, has_initial = false, has_null = false, has_label = false;
  std::string mask, initial, null_text, label;
  Pos initial_at, null_at;
};

struct FileDef {
  std::string name;
  Pos at;
  int fclass = 1;       // 1 disk, 2 memory
  bool declared = false;
  bool single = false;  // organisation 1: one record
  std::string desc;     // description, named by messages about the file
  std::vector<FieldDef> fields;
};

// The registration of an application of one's own (register.h).
struct Registration {
  bool given = false;
  Pos at;
  std::string title;
  std::vector<Arg> databases;
};

struct App {
  std::string id;      // "0LA"
  std::string dir;
  std::vector<FileDef> files;
  std::vector<FieldDef> work;
  std::vector<Text> records;    // one per .rec text
  std::vector<Text> processes;  // one per .proc text
  std::vector<std::string> stmt_files;  // *.stmt statement files (design/sefile.h), by path
  Registration reg;                     // its `application` block (register.h)
  const FileDef* file(const std::string& name) const;
};

struct Sources {
  std::vector<App> apps;  // in the order read
  const App* app(const std::string& id) const;
};

// Reads a field description (srcform.h) into f; errors at the value's place.
void parse_field_form(const Entry& e, bool declared, FieldDef* f, Errors* errs);
// Type words and codes.
int type_code(const std::string& word);  // 0 when unknown
const char* type_word(int code);

// Reads every application directory under the roots (each root's
// directories sorted by name, the roots in the order given; texts sorted by
// file name, so the same sources always read the same way) and checks
// what the sources alone can tell: a name given twice in one file or one
// application, a work field named like a field, a process defined twice, a
// name (field, work field or process) in two applications, a records text
// for a file that no application defines, an application in two roots.
bool read_sources(const std::vector<std::string>& roots, Sources* out, Errors* errs);
// The same for one application directory (tests).
bool read_app(const std::string& dir, const std::string& id, App* out, Errors* errs);

}  // namespace qg
