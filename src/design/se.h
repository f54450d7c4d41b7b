// Statement text: the 80-column line of a stored statement (STMT) and back.
//
// One layout table, `xme_stmt`, says for each of the 105 verbs where each
// operand lies in the record's 64-byte operand area, where it shows on the
// line, how wide it is there and how it converts. `se_gen_stmt` writes a
// line from a record under it; `se_degen_stmt` reads a line back into a
// record under the same table, then has a validator check the names it
// holds against the dictionary (se_valid.h). The statement compiler takes
// operand offsets from this table too, by operand name (`xme_op`).
//
// The statement line (columns count from 1):
//   1-5    T/F column, as stored ('T'/'1' true, 'F'/'0' false, '-' or blank
//          not tested; 'C' in column 1: a statement kept out of compilation)
//   6      blank
//   7-14   verb spelling (8 characters)
//   15     blank
//   16-79  operand part: the verb's template (keywords), then each operand
//          at 16 + its screen column, in its screen length
//   80     blank
// Round trip: every line `se_degen_stmt` accepts gives a record that
// `se_gen_stmt` turns into a line that reads back into the same record.
// To keep that true the reader refuses, at its column, what no record could
// keep: a character in column 6 or 15, anything but blanks from column 80
// on (refused at column 80), a character in the operand part outside every
// operand that is neither blank nor the template's own character there, a
// control character (tab included; C0, DEL and C1 of ISO 8859-1), and an
// operand whose text does not convert (also when it is optional, and in
// 'C' lines).
//
// Stored forms that the line shows differently and reads back the same:
// application "0LA" shows as "---"; an occurrence number 0 is stored as no
// occurrence and reads as the blank it shows (a required one is refused),
// but in BEG LOOP and the first operand of CNV TEXT it stays the number 0;
// a yes/no byte shows "Y" for '1', blank for a blank and "N" for the rest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "files/dictrec.h"
#include "foundation/record.h"

constexpr int kSeVerbs = 105;       // verb codes 0-104
constexpr int kSeLineLen = 80;      // a listing line
constexpr int kSeWorkLen = 212;     // the text buffer of the listing work block
constexpr int kSeOpCol = 16;        // first column of the operand part (1-based)
constexpr int kSeOpLen = 64;        // operand part and operand area
constexpr int kSeMaxEntries = 16;   // most entries of one verb's run

// Verb codes named by the rules that single them out.
enum SeVerb : uint16_t {
  kVerbComment = 0, kVerbComment2 = 1, kVerbAnd = 3, kVerbAppend = 4, kVerbAtField = 5,
  kVerbBegAt = 6, kVerbBegLoop = 7, kVerbBegRead = 8, kVerbBlank = 9, kVerbBright = 11,
  kVerbCall = 13, kVerbCancel = 14, kVerbClose = 15, kVerbCnvBin = 16, kVerbCnvText = 18,
  kVerbCompute = 20, kVerbCopy = 21, kVerbCreate = 22, kVerbDateAdd = 23, kVerbDateBtw = 24,
  kVerbDelete = 26, kVerbDim = 27, kVerbDisplay = 28, kVerbEndAt = 30, kVerbEndRead = 33,
  kVerbError = 34, kVerbIf = 38, kVerbIfExist = 39, kVerbInverse = 41, kVerbLabel = 42,
  kVerbMessage = 45, kVerbNoInput = 46, kVerbNoUline = 48, kVerbNormal = 49,
  kVerbOkInput = 50, kVerbOpen = 51, kVerbOr = 52, kVerbPass = 55, kVerbPosition = 56,
  kVerbPrint = 57, kVerbRead = 59, kVerbReadNext = 60, kVerbReceive = 61,
  kVerbRestore = 62, kVerbReturn = 63, kVerbRewrite = 64, kVerbRun = 65, kVerbScratch = 67,
  kVerbSelect = 68, kVerbSet = 69, kVerbSetDate = 70, kVerbSetDay = 71, kVerbSetMnth = 72,
  kVerbSetTemp = 73, kVerbSetTot = 74, kVerbStore = 75, kVerbTimeout = 77, kVerbTotal = 78,
  kVerbUline = 81, kVerbUndefine = 82, kVerbWarning = 83, kVerbWrite = 84,
  kVerbVerify = 96, kVerbPutAttr = 98, kVerbMoveAttr = 100,
};

// Operand kinds: how the stored bytes become the text and back.
enum SeKind : uint8_t {
  kSeText = 1,       // free text, as stored
  kSeApp = 2,        // application id; "0LA" shows "---"
  kSeField = 3,      // field name (22 and a spare byte)
  kSeOcc = 4,        // occurrence (SeOcc)
  kSeOcc2 = 5,       // second occurrence (appearance number)
  kSeProc = 6,       // process name (30)
  kSeInvoc = 7,      // invocation kind 0-2, shown by name (10)
  kSeDigit3 = 8,     // byte 0-3
  kSeRel = 9,        // comparison code 1-8
  kSeArith = 10,     // arithmetic operator character
  kSeYesNo = 11,     // '1' / '0', shown Y / N
  kSeDigit9 = 12,    // byte 0-9
  kSeCount = 13,     // occurrence without a minus sign
  kSeFile = 14,      // file name (8)
  kSeRel2 = 15,      // comparison code 7 or 8
  kSeLoop = 16,      // loop letter (occurrence of letters only, 2 shown)
  kSeBound = 17,     // loop bound (occurrence)
  kSeDigit8 = 18,    // digit character '1'-'8'
  kSeArea = 19,      // area kind 1, 3, 6, 7 by name (14)
  kSeCommArea = 20,  // area kind 1-7 by name (14)
  kSeDayForm = 21,   // 'L' or 'S'
  kSeWord = 22,      // one word (5)
  kSeDir = 23,       // "FROM" / "INTO"
  kSeDigit2 = 24,    // byte 0-2
  kSeRest = 25,      // unused rest of the operand area: no screen field
};

// Entry flags.
constexpr uint8_t kXmeRequired = 0x01;
constexpr uint8_t kXmeDefault = 0x02;
constexpr uint8_t kXmeDefYes = 0x04;
constexpr uint8_t kXmeDefNo = 0x08;
constexpr uint8_t kXmeDefOne = 0x80;

// One layout entry (12 bytes). Offsets and columns count from 0: `offset`
// in the operand area, `col` in the operand part of the line.
struct XmeEntry {
  rec::U16 offset;   // 0  offset in the operand area
  rec::U16 col;      // 2  screen column in the operand part
  rec::U16 width;    // 4  stored width in bytes
  rec::U8 len;       // 6  screen length
  rec::U8 z7;        // 7  0
  rec::U8 kind;      // 8  SeKind
  rec::U8 z9;        // 9  0
  rec::U8 flags;     // 10 kXme*
  rec::U8 z11;       // 11 0
};
QV_RECORD(XmeEntry, 12);
QV_AT(XmeEntry, len, 6);
QV_AT(XmeEntry, kind, 8);
QV_AT(XmeEntry, flags, 10);

// The table: an all-zero entry, then for verb 0 to 104 its entries and an
// all-zero entry ending the run (613 entries). Built once, on first use.
const XmeEntry* xme_stmt(int* count);
// The first entry of the verb's run and the number of its entries.
const XmeEntry* xme_run(int verb, int* count);
// The operand name of entry i of the verb's run ("app", "field2", "rel"...).
const char* xme_name(int verb, int i);
// The verb's entry of that operand name; null when the verb has none.
const XmeEntry* xme_op(int verb, std::string_view name);
// The verb whose built-in spelling this is (trailing blanks ignored); -1.
int se_verb_code(std::string_view spelling);
// The built-in spelling of a verb (no padding).
const char* se_builtin_verb(int verb);

// Occurrence value (4 bytes): a signed 16-bit number or two letters, the
// type, a spare byte.
constexpr uint8_t kOccNumber = 0, kOccLetters = 1, kOccNone = 2;
struct SeOcc {
  rec::Bytes<2> v;   // 0 number (little-endian, signed) or two letter characters
  rec::U8 type;      // 2 kOcc*
  rec::U8 spare;     // 3
  int16_t num() const { return int16_t(uint16_t(v[0] | (v[1] << 8))); }
  void set_num(int16_t n) { v[0] = uint8_t(uint16_t(n)); v[1] = uint8_t(uint16_t(n) >> 8); type = kOccNumber; }
};
QV_RECORD(SeOcc, 4);
QV_AT(SeOcc, type, 2);

// ------------------------------------------------------------ spellings --

// The words of the line in the user's language: verbs (message 105000 +
// 10 x verb for verbs 0-99; verbs 100-104 have no message of their own and
// keep their built-in spelling), area names (106000-106060), FROM and INTO
// (106070, 106080), invocation kinds (106260-106280) and the operand
// templates (106090-106250); a missing message falls back to the built-in
// text, and verbs are cut or blank-filled to 8 characters. The comparison
// codes come from the common block (rel_codes: EQ GE GT LE LT NE IN in
// relation-code order, then "EX"). Reloaded when the common block's
// language id changes; `builtin` forces the built-in words (statement
// files are written and read in them).
void se_load_spellings(bool builtin = false);
// The current 8-character spelling of a verb.
std::string_view se_get_verb_spell(int verb);
// The verb of an 8-character spelling (with display names, "BOLD    " is
// BRIGHT and "NO BOLD " DIM); -1 when none.
int se_find_verb(const char* text, bool display_names);
// The current template of a verb's operand part (64 characters).
std::string_view se_template(int verb);
// The two characters of comparison code 1-8 ("" outside).
std::string_view se_rel_code(int code);
// The first comparison code from `first` to 8 whose two characters the text
// t shows (a shorter spelling blank-padded), 0 for none.
int se_rel_find(const char* t, int first);
// Area name of index 1-7 (14 characters), FROM / INTO (1, 2; 4 characters)
// and invocation kind 0-2 (10 characters); "" outside.
std::string_view se_area_name(int index);
std::string_view se_dir_word(int index);
std::string_view se_invoc_name(int kind);

// ----------------------------------------------------- text from records --

// What se_gen_stmt writes into. The caller blank-fills nothing: the line is
// blank-filled for its length first. Listings pass 80 characters, the
// debugger and the listing work block 212; columns past 80 stay blank.
struct SeGenCtx {
  char* line = nullptr;
  int len = kSeLineLen;
  bool display_names = false;  // BRIGHT shows "BOLD", DIM "NO BOLD" (Output processes)
  bool upper_lower = false;    // the editor's case folding flag
  uint16_t mode = 0;           // 4: add mode, the entries' defaults go into the record first
};
constexpr uint16_t kSeModeAdd = 4;

// Builds the text of `stmt` into ctx.line. `line` is the editor's screen
// line; 0 (every caller outside the editor) builds the text alone and
// writes no work-file records. keep_verb 1 leaves columns 7-79's verb and
// template as they are. A verb code above 104 shows as LABEL. Result 1.
// The record is changed only in add mode (defaults).
int se_gen_stmt(SeGenCtx& ctx, DStmt& stmt, int line, int keep_verb);
// Listing form: the text of a statement into a buffer of len characters.
int se_list_stmt(const DStmt& stmt, char* out, int len);

// The three characters of an occurrence (put_occ) and back (get_occ, over
// the screen text of the entry's length: 3, or 2 for a loop letter; kind
// 13 and 16 refuse a minus sign, kind 16 anything but letters). get_occ:
// 1 valid, 0 invalid; blank text gives type none.
void put_occ(char* text, const SeOcc& occ, int len = 3);
int get_occ(const char* text, SeOcc* occ, int kind, int len = 3);

// ----------------------------------------------------- records from text --

struct SeValidator;   // se_valid.h

// Operand statuses.
constexpr uint8_t kSeStInvalid = 0, kSeStGiven = 1, kSeStBlank = 2;

// What se_degen_stmt reads and leaves. The line may be shorter than 80
// characters (the rest reads as blanks) or longer (anything past column 79
// but blanks is refused, at its column, or 80 beyond it).
struct SeLineState {
  const char* text = nullptr;
  int len = 0;
  bool display_names = false;
  SeValidator* validator = nullptr;   // null: no dictionary checks
  // results of the last call
  int n = 0;                          // entries of the verb's run
  uint8_t status[kSeMaxEntries] = {};
  int err_entry = -1;                 // entry of the error column, -1 none (T/F, verb, a gap)
  int err_kind = 0;                   // its kind (0 when no operand)
  std::string why;                    // the dictionary checks' reason, when they gave one
  bool warning = false;               // accepted with a warning column
  bool file_warning = false;          // ... and the column is the file name's
  bool redraw = false;                // validate changed the record (application ids)
  bool repeatable = false;            // accepted without a warning, and a line of the same text
                                      // (same validator, same flags) reads into the same T/F
                                      // column, verb and operand area
};

// Parses the line into stmt: T/F column, verb code and operand area (the
// operand area blanked first; the other bytes are the caller's). Result 1:
// accepted, *err_col 0 or the warning column (state.warning set). Result 0:
// refused, *err_col the first column to fix (1 the T/F column, 7 the verb,
// 16 + the operand's screen column, else the column of the character that
// no record keeps), *second_col the first field of a pair whose types do
// not match, or 0. A line with 'C' in column 1 skips the T/F check, the
// required operands, the dictionary checks and the combination rules.
[[nodiscard]] int se_degen_stmt(SeLineState& state, DStmt& stmt, int* err_col, int* second_col);

// The verb's combination rules over the statuses of its first four entries:
// 1 valid; 0 with *col the column (1-based) of the operand to fix.
[[nodiscard]] int opt_req(const DStmt& stmt, const uint8_t* status, int* col);

// The 1-based line column of entry i of the verb's run.
inline int se_entry_col(const XmeEntry& e) { return kSeOpCol + e.col; }

// Start-up: builds the layout table and its per-verb runs and loads the
// spellings of the user's language. 1.
int se_init();

// Registers se_init as the start-up stage of the statement text and the
// statement text in the services table of the layers below
// (process/services.h); main calls it at start-up:
//   se_gen_stmt(work, stmt, line, keep_verb): the text of stmt into work, the
//     listing work block's 212-character text buffer (its first 80 characters
//     the listing line); line 0 outside the editor;
//   cnv_token(work, stmt, direction): work is a DStmt that receives a copy of
//     stmt (unless it is stmt) and has its token literal converted there
//     (direction 1 number to name, 2 name to number) against the dictionary
//     of the current version (the common block's cur_ver; "00" for system
//     applications); the result is cnv_token's.
void se_register();

// The warning line of an accepted statement with a warning column: "WARNING -
// File not found" at the file name, else "WARNING - Application not found in
// application file"; "" without a warning.
std::string se_warning_text(const SeLineState& state);
// A refusal as the statement files report it: "file:line:column: <what>",
// what naming the operand's kind ("T/F column", "verb", "field name" ...),
// with ", second column N" when there is one.
std::string se_refusal_text(const std::string& file, int line, const SeLineState& state, int col,
                            int second_col);
