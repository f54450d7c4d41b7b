// Image statements (AT FIELD, POSITION, the attribute and display verbs),
// dynamic items (DEFINE, UNDEFINE) and the message statements (MESSAGE,
// WARNING, ERROR, CANCEL, REFRESH): their instruction layouts and builders.
//
// A field operand of these instructions is the application and field name
// as the statement gives them; the handlers look the field up among the
// compiled items of the current image at run time. Occurrence and ordinal
// come from length registers 1 and 2 (AT FIELD, POSITION) or address
// registers 1 and 2 (the attribute and display verbs, DEFINE, UNDEFINE),
// loaded before the instruction.
#pragma once

#include <cstdint>

#include "foundation/record.h"
#include "language/ib.h"

// AT FIELD 600-608, POSITION 610/646/648/612 (30).
struct IbPos {
  IbInst head;
  rec::Text<3> app;        // 4
  rec::Text<22> field;     // 7
  rec::U8 shift;           // 29 truth level
};
QV_RECORD(IbPos, 30);
QV_AT(IbPos, app, 4);
QV_AT(IbPos, field, 7);
QV_AT(IbPos, shift, 29);

// The attribute masks of a verb (bld_msks).
struct IbMsks {
  uint32_t value = 0, select = 0, inherit = 0;
};

// CHR_VAR 614 (80): occurrence and ordinal in address registers 1 and 2.
struct IbChrVar {
  IbInst head;
  rec::Bytes<20> b4;
  rec::U32 value;          // 24
  rec::Bytes<16> b28;
  rec::U32 select;         // 44
  rec::U32 inherit;        // 48
  rec::Text<3> app;        // 52
  rec::Text<22> field;     // 55
  rec::U8 report;          // 77
  rec::U16 verb;           // 78
};
QV_RECORD(IbChrVar, 80);
QV_AT(IbChrVar, value, 24);
QV_AT(IbChrVar, select, 44);
QV_AT(IbChrVar, app, 52);
QV_AT(IbChrVar, report, 77);
QV_AT(IbChrVar, verb, 78);

// CHR_ALL 616 (56): every item of the image.
struct IbChrAll {
  IbInst head;
  rec::Bytes<20> b4;
  rec::U32 value;          // 24
  rec::Bytes<16> b28;
  rec::U32 select;         // 44
  rec::U32 inherit;        // 48
  rec::U8 report;          // 52
  rec::U8 b53;
  rec::U16 verb;           // 54
};
QV_RECORD(IbChrAll, 56);
QV_AT(IbChrAll, value, 24);
QV_AT(IbChrAll, select, 44);
QV_AT(IbChrAll, report, 52);
QV_AT(IbChrAll, verb, 54);

// CHR_DEF 618 (92): constant occurrence and ordinal.
struct IbChrDef {
  IbInst head;
  rec::Text<3> app;        // 4
  rec::Text<22> field;     // 7
  rec::Bytes<3> b29;
  rec::U32 occ;            // 32
  rec::U32 ordinal;        // 36
  rec::Bytes<20> b40;
  rec::U32 value;          // 60
  rec::Bytes<16> b64;
  rec::U32 select;         // 80
  rec::U32 inherit;        // 84
  rec::U8 report;          // 88
  rec::U8 b89;
  rec::U16 verb;           // 90
};
QV_RECORD(IbChrDef, 92);
QV_AT(IbChrDef, occ, 32);
QV_AT(IbChrDef, value, 60);
QV_AT(IbChrDef, select, 80);
QV_AT(IbChrDef, report, 88);
QV_AT(IbChrDef, verb, 90);

// DSPL_VAR 620 (32).
struct IbDsplVar {
  IbInst head;
  rec::U8 blank;           // 4 1 BLANK, 0 DISPLAY
  rec::Text<3> app;        // 5
  rec::Text<22> field;     // 8
  rec::U8 report;          // 30
  rec::U8 b31;
};
QV_RECORD(IbDsplVar, 32);
QV_AT(IbDsplVar, app, 5);
QV_AT(IbDsplVar, report, 30);

// DSPL_ALL 622 (6).
struct IbDsplAll {
  IbInst head;
  rec::U8 blank;           // 4
  rec::U8 report;          // 5
};
QV_RECORD(IbDsplAll, 6);

// DSPL_DEF 624 (44).
struct IbDsplDef {
  IbInst head;
  rec::Text<3> app;        // 4
  rec::Text<22> field;     // 7
  rec::Bytes<3> b29;
  rec::U32 occ;            // 32
  rec::U32 ordinal;        // 36
  rec::U8 blank;           // 40
  rec::U8 report;          // 41
  rec::Bytes<2> b42;
};
QV_RECORD(IbDsplDef, 44);
QV_AT(IbDsplDef, occ, 32);
QV_AT(IbDsplDef, blank, 40);
QV_AT(IbDsplDef, report, 41);

// LD_REG_1..4 630-636 (8): address register n = value.
struct IbLdReg {
  IbInst head;
  rec::I32 value;          // 4
};
QV_RECORD(IbLdReg, 8);

// DEF_DETACH 640 and DEFINE (attach) 642 (40).
struct IbDef {
  IbInst head;
  rec::Text<3> app;        // 4
  rec::Text<22> field;     // 7
  rec::U8 shift;           // 29 truth level
  rec::Bytes<2> b30;
  rec::U32 rec_ira;        // 32 DEFINE: field index of the DEFINE work record (relocated); DETACH: 0
  rec::U16 occ_kind;       // 36 0 constant, 1 binary field, 2 packed field
  rec::U16 no_kind;        // 38 the item number's load, as occ_kind
};
QV_RECORD(IbDef, 40);
QV_AT(IbDef, shift, 29);
QV_AT(IbDef, rec_ira, 32);
QV_AT(IbDef, occ_kind, 36);
QV_AT(IbDef, no_kind, 38);

// UNDEF 644 (30).
struct IbUndef {
  IbInst head;
  rec::Text<3> app;        // 4
  rec::Text<22> field;     // 7
  rec::U8 mode;            // 29 0 all, 1 application, 2 field, 3 occurrence, 4 item number
};
QV_RECORD(IbUndef, 30);
QV_AT(IbUndef, mode, 29);

// MSG_TMP 626, MSG_CNST 628, REFRESH 242 (16).
struct IbMsg {
  IbInst head;
  rec::U32 text;           // 4 MSG_CNST and constant REFRESH: the constant (relocated); else not read
  rec::U16 len;            // 8 text length (REFRESH: 0 no message)
  rec::U16 b10;
  rec::U32 kind;           // 12 message kind 0-3; REFRESH: 1 constant text, 0 text at address register 1
};
QV_RECORD(IbMsg, 16);
QV_AT(IbMsg, len, 8);
QV_AT(IbMsg, kind, 12);

constexpr uint16_t kIbRefresh = 242;
constexpr uint16_t kIbMsgTmp = 626, kIbMsgCnst = 628;
constexpr uint16_t kIbLdReg1 = 630, kIbDefAddApp = 638, kIbDefDetach = 640, kIbDefine = 642, kIbUndef = 644;

// Message kinds.
constexpr uint32_t kMsgMessage = 0, kMsgWarning = 1, kMsgError = 2, kMsgCancel = 3;

// Settles the lengths of the opcodes this family defines (LD_REG, DEFINE);
// the interpreter's init calls it, and so does a test that builds code.
void ib_img_define_ops();

// Builders. Each returns the instruction, or null after a system error (or,
// where noted, 0 for an operand combination without an opcode).
// AT FIELD (pos false) or POSITION (pos true): app and field null or blank
// for none; has1/has2 whether an occurrence/ordinal was loaded into length
// registers 1/2 (AT FIELD with an application only: field null).
uint8_t* bld_pos(IbCode* code, const char* app, const char* field, bool has1, bool has2, bool pos, uint8_t shift);
// The masks of an attribute verb; false (after the system error
// "ibimg.c, bld_msks entered default in switch") for another verb.
bool bld_msks(int verb, IbMsks* m);
uint8_t* bld_chr_all(IbCode* code, int verb, bool report);
uint8_t* bld_chr_def(IbCode* code, int verb, const char* app, const char* field, uint32_t occ, uint32_t ordinal,
                     bool report);
uint8_t* bld_chr_var(IbCode* code, int verb, const char* app, const char* field, bool report);
// BLANK (9) and DISPLAY (28) only: null for another verb.
uint8_t* bld_dspl_all(IbCode* code, int verb, bool report);
uint8_t* bld_dspl_def(IbCode* code, int verb, const char* app, const char* field, uint32_t occ, uint32_t ordinal,
                      bool report);
uint8_t* bld_dspl_var(IbCode* code, int verb, const char* app, const char* field, bool report);
// Address register reg (1-4) = value; another register is the system error
// "ibimg.c, bld_ld_reg entered default in switch".
uint8_t* bld_ld_reg(IbCode* code, int reg, int32_t value);
uint8_t* bld_def_add_app(IbCode* code);
uint8_t* bld_def_detach(IbCode* code, const char* app, const char* field, uint8_t shift);
uint8_t* bld_def_attach(IbCode* code, const char* app, const char* field, uint8_t shift, uint32_t rec_ira,
                        uint16_t occ_kind, uint16_t no_kind);
uint8_t* bld_undef(IbCode* code, const char* app, const char* field, uint8_t mode);
// MESSAGE, WARNING, ERROR, CANCEL: the text a constant (cnst its key) or,
// with temp, at address register 1.
uint8_t* bld_msg(IbCode* code, uint32_t cnst, uint16_t len, uint32_t kind, bool temp);
uint8_t* bld_refresh(IbCode* code, uint32_t cnst, uint16_t len, bool temp);
