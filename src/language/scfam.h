// The compile functions of the statement families (the verb table's rows in
// sc.cpp) and the operand areas they read.
//
// Operand areas are declared here once, by field name; their offsets are
// the statement text's layout table's (tests/language/test_scfam.cpp holds
// them against it, verb by verb).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "foundation/record.h"
#include "language/sc.h"

// IF, AND, OR (and COMPUTE): two field references and a relation.
struct ScOpsTwo {
  ScOpnd op1;           // 0
  ScOpnd op2;           // 30
  rec::U8 rel;          // 60: relation 1-8; COMPUTE the operator character
  rec::Bytes<3> rest;
};
QV_RECORD(ScOpsTwo, 64);
QV_AT(ScOpsTwo, op2, 30);
QV_AT(ScOpsTwo, rel, 60);

// A loop letter or bound: two characters (or a signed 16-bit value) and
// its kind (0: the value is a number, 1: the characters name a field; the
// byte after it is not read).
struct ScLoopVal {
  rec::Bytes<2> v;
  rec::U8 flag;
  rec::U8 spare;
};
QV_RECORD(ScLoopVal, 4);
QV_AT(ScLoopVal, flag, 2);

struct ScOpsLoop {      // BEG LOOP, END LOOP
  ScLoopVal letter;     // 0
  ScLoopVal from;       // 4
  ScLoopVal to;         // 8
  ScLoopVal step;       // 12
  rec::Bytes<48> rest;
};
QV_RECORD(ScOpsLoop, 64);
QV_AT(ScOpsLoop, from, 4);
QV_AT(ScOpsLoop, to, 8);
QV_AT(ScOpsLoop, step, 12);

struct ScOpsCalc {      // CALC
  ScLoopVal letter;     // 0: letter, 'I' or blank, flag 1
  rec::Text<59> expr;   // 4
  rec::U8 rest;
};
QV_RECORD(ScOpsCalc, 64);
QV_AT(ScOpsCalc, expr, 4);

struct ScOpsLabel {     // GOTO, LABEL, OVERFLOW
  rec::Text<30> label;
  rec::Bytes<34> rest;
};
QV_RECORD(ScOpsLabel, 64);

struct ScOpsVfy {       // VERIFY
  ScOpnd op;            // 0
  rec::U8 kind;         // 30: 1 a field, 3 the fields of a file
  rec::U8 fail;         // 31: failure mode 0-3
  rec::Bytes<32> rest;
};
QV_RECORD(ScOpsVfy, 64);
QV_AT(ScOpsVfy, kind, 30);
QV_AT(ScOpsVfy, fail, 31);

struct ScOpsGosub {     // GOSUB, COPY
  rec::Text<3> app;
  rec::Text<30> label;  // 3
  rec::Bytes<31> rest;
};
QV_RECORD(ScOpsGosub, 64);
QV_AT(ScOpsGosub, label, 3);

struct ScLenVal {       // a PRINT number: value and flag (0 constant, 1 a calculation variable, 2 default)
  rec::U16 v;
  rec::U16 flag;
};
QV_RECORD(ScLenVal, 4);
QV_AT(ScLenVal, flag, 2);

struct ScOpsPrint {     // PRINT
  ScOpnd text;          // 0
  ScLenVal first;       // 30
  ScLenVal rows;        // 34
  ScLenVal width;       // 38
  rec::Bytes<22> rest;
};
QV_RECORD(ScOpsPrint, 64);
QV_AT(ScOpsPrint, first, 30);
QV_AT(ScOpsPrint, rows, 34);
QV_AT(ScOpsPrint, width, 38);

struct ScOpsTimeout {   // TIMEOUT
  rec::Text<30> label;  // 0
  ScOpnd secs;          // 30
  rec::Bytes<4> rest;
};
QV_RECORD(ScOpsTimeout, 64);
QV_AT(ScOpsTimeout, secs, 30);

// The file verbs: application and file, then their options.
struct ScOpsFile {
  rec::Text<3> app;     // 0
  rec::Text<8> file;    // 3
  rec::U8 opt;          // 11 READ, READNEXT, BEG READ: hold 0-2; CREATE, OPEN: share '1'/'0';
                        //    CLOSE: '1'/'0'; IF EXIST, SCRATCH, WRITE, REWRITE: error mode 0-3
  rec::U8 mode;         // 12 CREATE, OPEN, READ, READNEXT: error mode 0-3
  rec::Text<22> key;    // 13 READ, READNEXT: key field name (BEG READ: at 12)
  rec::Bytes<29> rest;
};
QV_RECORD(ScOpsFile, 64);
QV_AT(ScOpsFile, opt, 11);
QV_AT(ScOpsFile, key, 13);
struct ScOpsAt {        // BEG AT, END AT
  rec::Text<3> app;     // 0
  rec::Text<8> file;    // 3
  rec::U8 rel;          // 11 7 inclusive, 8 exclusive
  ScOpnd value;         // 12 the key value
  rec::Bytes<22> rest;
};
QV_RECORD(ScOpsAt, 64);
QV_AT(ScOpsAt, value, 12);

// Property statements: the object file (application, name) and the
// property; GETATTR names its target field first, PUTATTR and MOVEATTR
// their field after the property.
struct ScOpsGetProp {   // GETATTR
  ScOpnd field;         // 0 target
  rec::Text<3> app;     // 30
  rec::Text<8> file;    // 33
  rec::Text<14> prop;   // 41
  rec::Bytes<9> rest;
};
QV_RECORD(ScOpsGetProp, 64);
QV_AT(ScOpsGetProp, app, 30);
QV_AT(ScOpsGetProp, file, 33);
QV_AT(ScOpsGetProp, prop, 41);
struct ScOpsProp {      // PUTATTR, DELATTR, MOVEATTR
  rec::Text<3> app;     // 0
  rec::Text<8> file;    // 3
  rec::Text<14> prop;   // 11
  rec::Bytes<3> b25;
  ScOpnd field;         // 28 PUTATTR source, MOVEATTR the old object name
  rec::Bytes<6> rest;
};
QV_RECORD(ScOpsProp, 64);
QV_AT(ScOpsProp, prop, 11);
QV_AT(ScOpsProp, field, 28);
struct ScOpsPropRec {   // GETATTRS (record first), PUTATTRS, DELATTRS (object file first)
  rec::Text<3> app1;    // 0
  rec::Text<8> file1;   // 3
  rec::Text<3> app2;    // 11
  rec::Text<8> file2;   // 14
  rec::Bytes<42> rest;
};
QV_RECORD(ScOpsPropRec, 64);
QV_AT(ScOpsPropRec, app2, 11);
QV_AT(ScOpsPropRec, file2, 14);

// File statements (scfi.cpp).
int cmpl_if_exist(ScCtx* sc, DStmt* st);
int cmpl_create(ScCtx* sc, DStmt* st);
int cmpl_scratch(ScCtx* sc, DStmt* st);
int cmpl_open(ScCtx* sc, DStmt* st);
int cmpl_close(ScCtx* sc, DStmt* st);
int cmpl_write(ScCtx* sc, DStmt* st);
int cmpl_rewrite(ScCtx* sc, DStmt* st);
int cmpl_delete(ScCtx* sc, DStmt* st);
int cmpl_read(ScCtx* sc, DStmt* st);
int cmpl_readnext(ScCtx* sc, DStmt* st);
int cmpl_beg_at(ScCtx* sc, DStmt* st);
int cmpl_end_at(ScCtx* sc, DStmt* st);
int cmpl_beg_read(ScCtx* sc, DStmt* st);
int cmpl_end_read(ScCtx* sc, DStmt* st);
int cmpl_getprop(ScCtx* sc, DStmt* st);
int cmpl_putprop(ScCtx* sc, DStmt* st);
int cmpl_delprop(ScCtx* sc, DStmt* st);
int cmpl_moveprop(ScCtx* sc, DStmt* st);
int cmpl_getprec(ScCtx* sc, DStmt* st);
// SCAN: the target (at 0) takes the field at 30 of the record the user
// chooses from the scan list of that field's file.
int cmpl_scan(ScCtx* sc, DStmt* st);
// The return block of a SCAN (the made-up statements after it): 1 when
// it compiled.
int write_scan_stmt(ScCtx* sc, DStmt* st, const char* file, CodeRef scan_inst);
int cmpl_putprec(ScCtx* sc, DStmt* st);
int cmpl_delprec(ScCtx* sc, DStmt* st);
// An index of the image statements (occurrence, ordinal, item number): a
// value and its kind (0 the value, 1 the "0LA" calculation variable whose two
// letters are the value, 2 absent); the byte after the kind is not read.
struct ScIndex {
  rec::U16 v;
  rec::U8 kind;
  rec::U8 spare;
};
QV_RECORD(ScIndex, 4);
QV_AT(ScIndex, kind, 2);

// SET TEMP: a part of a "0LA" temporary field ("TEMP" and the word) to or
// from a part of a field.
struct ScOpsSetTemp {
  ScIndex at;           // 0: the temporary field's position
  ScIndex count;        // 4: how many characters
  rec::Text<4> dir;     // 8: "FROM" (the temporary field into the field) or "INTO"
  ScIndex pos;          // 12: the field's position
  ScOpnd field;         // 16
  rec::Text<5> word;    // 46: the temporary field's name after "TEMP "
  rec::Bytes<13> rest;  // 51
};
QV_RECORD(ScOpsSetTemp, 64);
QV_AT(ScOpsSetTemp, dir, 8);
QV_AT(ScOpsSetTemp, field, 16);
QV_AT(ScOpsSetTemp, word, 46);
int cmpl_set_temp(ScCtx* sc, DStmt* st);

// AT FIELD, POSITION, the attribute and display verbs, DEFINE, UNDEFINE:
// the field reference (first index = occurrence), then the second index
// (the ordinal among the items of one field occurrence; DEFINE and
// UNDEFINE: the item number).
struct ScOpsImg {
  ScOpnd field;         // 0: occ value and kind, application, name
  ScIndex idx2;         // 30
  rec::Bytes<30> rest;  // 34
  // The first index (the field reference's occurrence and its kind).
  ScIndex idx1() const {
    ScIndex x{};
    x.v = field.occ.get();
    x.kind = field.occ_mode.get();
    return x;
  }
};
QV_RECORD(ScOpsImg, 64);
QV_AT(ScOpsImg, idx2, 30);

// An index into length register reg (1-4): absent loads min; a constant
// must lie in min .. max (max 0: no maximum); a "0LA" calculation variable
// (binary or packed) is loaded and checked at run time. 1, or 0 when it
// does not compile (nothing built).
int cmpl_ndx(ScCtx* sc, const ScIndex& x, int reg, uint16_t min, uint16_t max);
// Image statements (scimg.cpp).
int cmpl_pos(ScCtx* sc, DStmt* st);
int cmpl_chr(ScCtx* sc, DStmt* st);
int cmpl_def(ScCtx* sc, DStmt* st);
int cmpl_msg(ScCtx* sc, DStmt* st);
// Tests (sctst.cpp).
int cmpl_if_and_or(ScCtx* sc, DStmt* st);
// Conversions (sccnv.cpp).
int cmpl_cnv_bin(ScCtx* sc, DStmt* st);
int cmpl_cnv_text(ScCtx* sc, DStmt* st);
// Adds the names of the data fields of `file` (8 characters; not groups,
// substrings or synonyms), in the order of its fields, from the ELEMENT
// dictionary `el` of its application.
void sc_file_fields(FmArb* el, const char* file, std::vector<std::array<char, 22>>* out);
// Miscellaneous (scmisc.cpp).
int cmpl_verify(ScCtx* sc, DStmt* st);
int cmpl_copy(ScCtx* sc, DStmt* st);
int cmpl_trap(ScCtx* sc, DStmt* st);
int cmpl_print(ScCtx* sc, DStmt* st);
// The COPY of Subroutine `name` of application `app` (3 and 30 characters)
// at the current statement: 1, or 0 after 101180 (none with quiet). A
// Subroutine already being copied in this nesting, or 50 open copies,
// fail; an application not part of the compile, or whose process
// dictionary cannot be opened, gives an empty COPY block.
int sc_copy_guts(ScCtx* sc, const char* app, const char* name, bool quiet);
// Control (scctl.cpp).
int cmpl_beg_loop(ScCtx* sc, DStmt* st);
int cmpl_end_loop(ScCtx* sc, DStmt* st);
int cmpl_gosub(ScCtx* sc, DStmt* st);
int cmpl_return(ScCtx* sc, DStmt* st);
int cmpl_overflow(ScCtx* sc, DStmt* st);
int cmpl_timeout(ScCtx* sc, DStmt* st);
// CALC (scmath.cpp).
int cmpl_calc(ScCtx* sc, DStmt* st);
// COMPUTE: target (register 1) op= source (register 2).
int cmpl_compute(ScCtx* sc, DStmt* st);
// TOTAL: the field's report total (register 1, 9 packed bytes) op= source.
int cmpl_total(ScCtx* sc, DStmt* st);

// Field statements (scfld.cpp).
int cmpl_set(ScCtx* sc, DStmt* st);
int cmpl_append(ScCtx* sc, DStmt* st);
int cmpl_set_tot(ScCtx* sc, DStmt* st);
int cmpl_xxstore(ScCtx* sc, DStmt* st);
// Date statements (scdate.cpp).
int cmpl_date_add(ScCtx* sc, DStmt* st);
int cmpl_date_btw(ScCtx* sc, DStmt* st);
int cmpl_set_date(ScCtx* sc, DStmt* st);
int cmpl_set_day(ScCtx* sc, DStmt* st);
int cmpl_set_mnth(ScCtx* sc, DStmt* st);

// A numeric literal as a constant of type 12 (8 packed bytes and a scale
// byte): 1 with its reference, 0 when the text is no number.
int sc_pd_cnst(ScCtx* sc, const char* text, int len, uint32_t* ref);

// What the families reach of the driver (sc.cpp).
// The truth-level shift of the current statement.
uint8_t sc_shift(ScCtx* sc);
// A reference to a label from the instruction at inst (its slot at + 4).
void sc_label_ref(ScCtx* sc, const char* app, const char* name, CodeRef inst, bool gosub);
// The pending exit slots of loop letter 0-25 (packed or binary table) and
// the BEG LOOP statement that opened it.
struct ScLoop;
void sc_loop_open(ScCtx* sc, bool binary, int letter, CodeRef beg);
// Patches the open exits of the letter with the address that follows now:
// false when none was open.
bool sc_loop_close(ScCtx* sc, bool binary, int letter);
// Writes `to` into the code operand at + 4 of the instruction at inst.
void sc_patch(ScCtx* sc, CodeRef inst, CodeRef to);
// The same for a code operand at + off.
void sc_patch_at(ScCtx* sc, CodeRef inst, int off, CodeRef to);
// The current statement's T/F column once more (after code of other
// columns): labels awaiting an address take the next one, or its branch.
void sc_tf_restate(ScCtx* sc);
// The address of the instruction p just built in the current block.
CodeRef sc_ref_of(ScCtx* sc, const uint8_t* p);
// Compiles a statement the compiler made up (a SCAN's return block) as the
// current statement: by fn, or with null by its verb's compile function,
// under its verb's preset message. The compile function's result.
int sc_cmpl_made(ScCtx* sc, const DStmt& st, ScCmplFn fn = nullptr);
// Compiles a "0LA" field by name into register reg (0: none).
int sc_ref_0la(ScCtx* sc, const char* name, CElem* elem, int reg);
// The same, the element where the compile keeps it (pc_fld_ref), not to be
// changed; null when refused.
const CElem* sc_ref_0la_at(ScCtx* sc, const char* name, int reg);

// Invocations, RUN, CALL and PASS (scctl.cpp).
struct ScOpsInvoc {     // MENU, INPUT, ... DISP
  rec::Text<3> app;     // 0  blank: NEXT APPLICATION at run time
  rec::Text<30> name;   // 3  blank: NEXT PROCESS NAME
  rec::U8 kind;         // 33 0 SUBPROCESS, 1 RELATED, 2 DETACHED
  rec::U8 replace;      // 34 '1' the child replaces the caller; '0' or blank not
  rec::U8 fail;         // 35 failure mode 0-3
  rec::Bytes<28> rest;
};
QV_RECORD(ScOpsInvoc, 64);
QV_AT(ScOpsInvoc, kind, 33);
QV_AT(ScOpsInvoc, fail, 35);
struct ScOpsRun {       // RUN, CALL
  ScOpnd text;          // 0  the command or function text
  rec::U8 b30;          // 30 RUN '0', '1' or blank; CALL the keep-loaded flag
  rec::U8 b31;          // 31 RUN failure mode; CALL '0', '1' or blank
  rec::U8 b32;          // 32 CALL failure mode
  rec::Bytes<31> rest;
};
QV_RECORD(ScOpsRun, 64);
QV_AT(ScOpsRun, b30, 30);
QV_AT(ScOpsRun, b32, 32);
struct ScOpsPass {      // PASS
  ScOpnd item;          // 0  a field, or application (4) and file name (7)
  rec::U8 kind;         // 30 pass kind 1-7
  rec::U8 by_ref;       // 31 '1' by reference
  rec::Bytes<32> rest;
};
QV_RECORD(ScOpsPass, 64);
QV_AT(ScOpsPass, kind, 30);
int cmpl_proc(ScCtx* sc, DStmt* st);
int cmpl_run(ScCtx* sc, DStmt* st);
int cmpl_call(ScCtx* sc, DStmt* st);
int cmpl_pass(ScCtx* sc, DStmt* st);
