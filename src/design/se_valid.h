// Statement checking against the dictionary: the interface between the line
// reader (se_degen_stmt) and the checks of the names a statement holds.
//
// The reader converts the line alone; a validator looks the fields, files,
// processes and tokens up. `SeDictValidator` (se3v.cpp) reads them from an
// application's dictionary files; tests may give their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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
  std::string why;                 // what is wrong there ("no field X in ABC"), when the checks say
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
  // The checks' reads whose answers are not remembered (so that the same
  // text may be answered otherwise the next time), counted; -1 when the
  // validator does not count them (then no answer counts as remembered).
  virtual int64_t unkept() const { return -1; }
};

struct DElem;
struct DFile;
struct CvTokenRec;
struct FmArb;

// The dictionary files the checks and the token conversion read: per
// application its ELEMENT, FILE and TOKEN files, opened on demand (other
// applications' files too) in the recovery scope current when first used,
// and closed when the object goes; it must not outlive that scope.
// Version: the given one, "00" for the system applications (ids beginning
// with '0'). memory: the dictionaries are memory-resident files (generated
// processes, tests and benchmarks) instead of the data directory's.
// app and ver are read up to 3 and 2 characters (or a terminating zero).
// A field read (found or not) is remembered for the object's life: one
// check run sees each field as it was at its first read.
class SeDict {
 public:
  SeDict(const char* app, const char* ver, bool memory = false);
  ~SeDict();
  SeDict(const SeDict&) = delete;
  SeDict& operator=(const SeDict&) = delete;

  // Reads: 1 found, 0 not found, -1 the dictionary file cannot be opened,
  // -2 another failure (the status in *status).
  int elem(const char* app, const char* name, DElem* out, uint32_t* status = nullptr);
  // The same, *out where the object keeps the field (for its life).
  int elem_at(const char* app, const char* name, const DElem** out, uint32_t* status = nullptr);
  // The same, and *token: a token field's (set when found).
  int elem_slot(const char* app, const char* name, const DElem** out, bool* token, uint32_t* status = nullptr);
  int file(const char* app, const char* name, DFile* out, uint32_t* status = nullptr);
  int token_by_number(const char* app, const DElem& elem, int32_t number, CvTokenRec* out,
                      uint32_t* status = nullptr);
  int token_by_name(const char* app, const DElem& elem, const char* name, int len, CvTokenRec* out,
                    uint32_t* status = nullptr);
  // 1 when the application has a PROCESS record of that type and name.
  int proc(const char* app, const char* name, int type);
  const char* app() const { return app_; }
  const char* ver() const { return ver_; }
  bool memory() const { return memory_; }
  const char* ver_of(const char* app) const;
  // The reads whose answers the object does not remember, counted: of a
  // file, a process or a token, and the field reads that failed.
  int64_t unkept() const { return unkept_; }

 private:
  struct Files;
  Files* files(const char* app);
  FmArb* open(int which, const char* app);
  int read(FmArb* a, int key, uint8_t* rec, uint32_t* status);
  struct Elems;
  Elems* elems_;
  char app_[4];
  char ver_[3];
  bool memory_;
  uint32_t pool_;
  uint8_t* buf_;
  Files* apps_;
  int napps_;
  int64_t unkept_ = 0;
};

// The checks against an application's dictionary (the application being
// edited, "0LA" for predefined fields, others opened on demand).
// A literal's conversion with a field's form is remembered for the
// validator's life, by field (the one the dictionary object remembers, and
// so its application and name), verb kind and literal text; so is each
// field's conversion. The validator must not outlive the recovery scope
// current when it was made.
class SeDictValidator : public SeValidator {
 public:
  explicit SeDictValidator(SeDict& dict);
  ~SeDictValidator() override;
  SeDictValidator(const SeDictValidator&) = delete;
  SeDictValidator& operator=(const SeDictValidator&) = delete;
  int validate(SeCheck& check) override;
  int is_pdf(const char* app, const char* name) override;
  int64_t unkept() const override { return dict_.unkept(); }

 private:
  bool converts(const DElem& e, int verb, const char* app, const uint8_t* lit);
  struct Literals;
  SeDict& dict_;
  Literals* literals_;
};

// Token conversion of the second operand of SET, IF, AND and OR when it is
// a literal (its application blank) and the first operand is a token field
// (data type 5 with a token mark): direction 1 the stored number to the
// token's name, 2 the name to the number. With dict (the editor's open
// files) it reads there, else it opens the first operand's application
// itself. 1 done (or nothing to do), 0 refused (direction 2: no token of
// that name, a negative number, more digits than the field keeps).
//
// The stored form is the number in zero-filled digits over the first n + 1
// positions of the literal (n the ELEMENT byte 591, at most the token
// mark - 1); "-1" (or any text beginning with '-') is no token. A number
// without a TOKEN record reads as "#<number>" (no zero fill) and "#<number>"
// is stored as that number, so a statement keeps its token number through
// the text even when the TOKEN record is gone.
[[nodiscard]] int cnv_token(DStmt& stmt, const char* ver, int direction, int use_open, SeDict* dict = nullptr);
// Whether cnv_token may change the statement at all (false: it answers 1
// and leaves the record as it is, whatever the dictionary holds).
bool cnv_token_may_change(const DStmt& stmt);
// With the caller's dictionary (use_open 1): false when cnv_token would
// answer 1 and leave the record as it is (its first operand is no token
// field, or no field the dictionary holds); true when it may change or
// refuse it.
bool cnv_token_needed(const DStmt& stmt, const char* ver, SeDict* dict);
// The dictionary for cnv_token of a run of statements: dict when it serves
// stmt (or the statement's tokens need none), else own, opened for the
// statement's application when it serves it not either. A run of one
// version thus opens the dictionary once, not once a statement.
SeDict* cnv_token_dict(const DStmt& stmt, const char* ver, SeDict* dict, std::unique_ptr<SeDict>& own);
