// Statement checking against the dictionary: the interface between the line
// reader (se_degen_stmt) and the checks of the names a statement holds.
//
// The reader converts the line alone; a validator looks the fields, files,
// processes and tokens up. `SeDictValidator` (se3v.cpp) reads them from an
// application's dictionary files; tests may give their own.
#pragma once

#include <cstdint>

#include "design/se.h"

// What the reader hands the checks, and what they leave.
struct SeCheck {
  DStmt* stmt = nullptr;
  int verb = 0;
  const XmeEntry* run = nullptr;   // the verb's entries
  int n = 0;
  uint8_t* status = nullptr;       // per entry; the checks may set an application valid
  int file_entry = -1;             // entry of the (first) file name, -1 none
  // results
  int err_col = 0;                 // 1-based column of the error, 0 none
  int second_col = 0;              // the first field of a pair whose types differ
  int warn_col = 0;                // a missing application or file
  bool warn_file = false;          // ... it is the file's column
  bool changed = false;            // an application id of the record was corrected
};

struct SeValidator {
  virtual ~SeValidator() = default;
  // The dictionary checks: 1 valid (maybe with a warning column), 0 invalid.
  virtual int validate(SeCheck& check) = 0;
  // 1 when app is "0LA" and its ELEMENT file holds a field of that name
  // (a predefined field); app 3 characters, name 22.
  virtual int is_pdf(const char* app, const char* name) = 0;
};
