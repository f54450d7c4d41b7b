// Instruction builders shared by the statement families, and the layouts of
// the register, move and truth-mask branch instructions.
//
// Every builder reserves its instruction with inst_alloc on the code part of
// the compile context (IbCode), writes the even opcode and its operands, and
// returns the instruction's bytes, or null after a system error (module
// "IB.C": "NULL sc pointer", "bad register number", "bad occurrence number",
// "bad length"). A compile function only maps a statement's operands to a
// builder's arguments.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/macros.h"
#include "language/ib.h"

// Reserves an instruction of op, of size bytes (0: the opcode table's size),
// writing its address into where when given; null after a system error.
uint8_t* ib_put(IbCode* code, uint16_t op, size_t size = 0, CodeRef* where = nullptr);
// A system error of the builders ("IB.C"); returns null.
uint8_t* ib_err(int line, const char* text);

// ------------------------------------------------------------ layouts --
// Register loads (52-75) and length loads (152-175).
struct IbRef1 {          // CNST_n, IRA_n (8)
  IbInst head;
  rec::U32 ref;          // constant or field index
};
QV_RECORD(IbRef1, 8);
struct IbIraOcc {        // IRA_OCC_n (16)
  IbInst head;
  rec::U32 ira;
  rec::U32 elem_len;
  rec::U16 occ;
  rec::U16 unused;
};
QV_RECORD(IbIraOcc, 16);
QV_AT(IbIraOcc, occ, 12);
struct IbOcc {           // OCC_PD, OCC_BIN (16)
  IbInst head;
  rec::U32 ira;
  rec::U32 elem_len;
  rec::U16 max;          // 0 none
  rec::U8 reg;           // 1-4
  rec::U8 unused;
};
QV_RECORD(IbOcc, 16);
QV_AT(IbOcc, reg, 14);
struct IbAbort {         // ABORT (12)
  IbInst head;
  rec::U32 msg;
  rec::U32 cnst;         // 0 none
};
QV_RECORD(IbAbort, 12);
struct IbLdLen {         // LD_LENn (6)
  IbInst head;
  rec::U16 value;
};
QV_RECORD(IbLdLen, 6);
struct IbLdLenFld {      // LD_LEN_PD_VARn, LD_LEN_BINn (12)
  IbInst head;
  rec::U32 ira;
  rec::U16 min;
  rec::U16 max;          // 0 none
};
QV_RECORD(IbLdLenFld, 12);
QV_AT(IbLdLenFld, max, 10);
struct IbOffsetReg {     // offset register 650 (12)
  IbInst head;
  rec::U32 offset;
  rec::U32 reg;
};
QV_RECORD(IbOffsetReg, 12);
struct IbCnvPd {         // CNV_PD (8)
  IbInst head;
  rec::U8 is_signed;
  rec::U8 size;          // 1, 2, 4
  rec::U8 reg;
  rec::U8 unused;
};
QV_RECORD(IbCnvPd, 8);
struct IbBinToLog {      // BIN_TO_LOG 150 (6)
  IbInst head;
  rec::U8 size;          // 1, 2, 4
  rec::U8 unused;
};
QV_RECORD(IbBinToLog, 6);
struct IbCmprsBin {      // CMPRS_BIN (6)
  IbInst head;
  rec::U8 size;
  rec::U8 is_signed;     // '1'
};
QV_RECORD(IbCmprsBin, 6);
// Truth-mask branches.
struct IbTfc {           // RLOC_TFC (12)
  IbInst head;
  CodeRef to;
  rec::U32 cond;
};
QV_RECORD(IbTfc, 12);
struct IbTfu {           // RLOC_TFU (8)
  IbInst head;
  CodeRef to;
};
QV_RECORD(IbTfu, 8);
// Moves between one pair of lengths.
struct IbLen2 {          // MOVE_CHAR (6, len), MOVE_CHAR_PAD, MOVE_PD (8)
  IbInst head;
  rec::U16 a;
  rec::U16 b;
};
QV_RECORD(IbLen2, 8);

// Where the two descriptions of a move disagree, these layouts hold both
// readings: MOVE_PD_CHAR's scale is the u8 at 4 (byte 5 zero, so a u16
// reading agrees) and its work value the u16 at 8 (1-4); MOVE_BIN_LOG's
// byte 4 is the target's integer digits, non-zero meaning "convert";
// MOVE_FIX_LOG's word at 8 the same, its word at 12 the target's scale;
// FMT_ALP, NUM_TO_ALP and ALP_TO_ALP carry their mask at 12, 18 and 14, so
// they are 12, 18 and 14 bytes plus the mask (the opcode table's lengths).
struct IbMoveFixVar {    // MOVE_FIX_VAR 110 (8)
  IbInst head;
  rec::U16 len;          // fixed target
  rec::U16 scale;
};
QV_RECORD(IbMoveFixVar, 8);
struct IbMoveVarFix {    // MOVE_VAR_FIX 120 (6)
  IbInst head;
  rec::U8 scale;         // fixed source
  rec::U8 len;
};
QV_RECORD(IbMoveVarFix, 6);
struct IbMovePdShft {    // MOVE_PD_SHFT 124 (16)
  IbInst head;
  rec::U32 src_len;
  rec::U32 tgt_len;
  rec::I32 shift;        // target scale - source scale
};
QV_RECORD(IbMovePdShft, 16);
struct IbMovePdChar {    // MOVE_PD_CHAR 128 (10)
  IbInst head;
  rec::U8 scale;
  rec::U8 zero;
  rec::U16 len;          // text
  rec::U16 work;         // work value 1-4
};
QV_RECORD(IbMovePdChar, 10);
struct IbMoveBinLog {    // MOVE_BIN_LOG 134 (6)
  IbInst head;
  rec::U8 digits;        // non-zero: '1' converts to 1
  rec::U8 scale;
};
QV_RECORD(IbMoveBinLog, 6);
struct IbMoveFixLog {    // MOVE_FIX_LOG 136 (16)
  IbInst head;
  rec::U32 len;
  rec::U32 digits;       // non-zero: '1' converts to 1
  rec::U32 scale;
};
QV_RECORD(IbMoveFixLog, 16);
struct IbAlpToBin {      // ALP_TO_BIN 148 (10)
  IbInst head;
  rec::U16 len;          // text
  rec::U8 digits;        // target integer digits
  rec::U8 scale;
  rec::U8 is_signed;     // '1'
  rec::U8 unused;
};
QV_RECORD(IbAlpToBin, 10);
struct IbSetIfNull {     // SET_IF_NULL 176 (28)
  IbInst head;
  rec::U32 val_len;
  rec::U32 val;          // null value: constant (kind 2) or record field
  rec::U8 val_kind;
  rec::U8 unused1;
  rec::U16 cmp_len;
  rec::U32 null_img;     // null image: as val
  rec::U8 null_kind;
  rec::Bytes<3> unused2;
  CodeRef past;          // after the statement
};
QV_RECORD(IbSetIfNull, 28);
QV_AT(IbSetIfNull, past, 24);
struct IbNumToAlp {      // NUM_TO_ALP 146 (18 + mask)
  IbInst head;
  rec::U8 form;          // source type: 5 (signed binary), 6 (unsigned), 8, 12
  rec::U8 digits;
  rec::U8 scale;
  rec::Bytes<4> facts;   // cv_num_msk's first four facts
  rec::U8 has_scale;
  rec::U8 fact5;
  rec::U8 not_var;       // 1 unless the source is variable packed
  rec::U16 src_len;
  rec::U16 mask_len;
  // mask text at 18
};
QV_RECORD(IbNumToAlp, 18);
struct IbFmtAlp {        // FMT_ALP 144 (12 + mask)
  IbInst head;
  rec::U16 len;          // target
  rec::U8 work;          // work value holding the text (1 or 2)
  rec::U8 edit;          // edit character (case code)
  rec::U8 zero;
  rec::U8 flags;         // justification
  rec::U16 mask_len;
  // mask text at 12
};
QV_RECORD(IbFmtAlp, 12);
struct IbAlpToAlp {      // ALP_TO_ALP 182 (14 + mask)
  IbInst head;
  rec::U16 tgt_len;
  rec::U16 src_len;
  rec::U8 edit;          // case code
  rec::U8 zero;
  rec::U8 flags;         // justification
  rec::U8 unused;
  rec::U16 mask_len;
  // mask text at 14
};
QV_RECORD(IbAlpToAlp, 14);

// ----------------------------------------------------------- builders --
uint8_t* bld_abort(IbCode* code, uint32_t msg);
uint8_t* bld_cnst(IbCode* code, uint32_t cnst, int reg);
uint8_t* bld_ira(IbCode* code, uint32_t ira, int reg);
uint8_t* bld_ira_occ(IbCode* code, uint32_t ira, uint32_t len, uint16_t occ, int reg);
uint8_t* bld_occ_pd(IbCode* code, uint32_t ira, int reg, uint32_t len, uint16_t max);
uint8_t* bld_occ_bin(IbCode* code, uint32_t ira, int reg, uint32_t len, uint16_t max);
uint8_t* bld_offset_reg(IbCode* code, int reg, uint32_t offset);
uint8_t* bld_cmprs_bin(IbCode* code, int size, bool is_signed);
uint8_t* bld_cnv_pd(IbCode* code, bool is_signed, int reg, int size);
uint8_t* bld_ld_len(IbCode* code, int reg, uint16_t value);
uint8_t* bld_ld_len_bin(IbCode* code, int reg, uint32_t ira, uint16_t min, uint16_t max);
uint8_t* bld_ld_len_pd_var(IbCode* code, int reg, uint32_t ira, uint16_t min, uint16_t max);
// Truth-mask branches: to the code address to (patched later by the
// compiler when not yet known) when the mask does not satisfy cond; always.
uint8_t* bld_tfc(IbCode* code, CodeRef to, uint32_t cond, CodeRef* where = nullptr);
uint8_t* bld_tfu(IbCode* code, CodeRef to, CodeRef* where = nullptr);
uint8_t* bld_move_char(IbCode* code, uint16_t len);
uint8_t* bld_move_char_pad(IbCode* code, uint16_t len, uint16_t pad);
uint8_t* bld_move_pd(IbCode* code, uint16_t src_len, uint16_t tgt_len);
uint8_t* bld_move_fix_var(IbCode* code, uint16_t len, uint16_t scale);
uint8_t* bld_move_var_fix(IbCode* code, uint8_t scale, uint8_t len);
uint8_t* bld_move_var_char(IbCode* code, uint16_t len);
uint8_t* bld_move_pd_shft(IbCode* code, uint32_t src_len, uint32_t tgt_len, int32_t shift);
uint8_t* bld_move_pd_char(IbCode* code, uint8_t scale, uint16_t len, uint16_t work);
uint8_t* bld_move_bin_log(IbCode* code, uint8_t digits, uint8_t scale);
uint8_t* bld_move_fix_log(IbCode* code, uint32_t len, uint32_t digits, uint32_t scale);
uint8_t* bld_alp_to_bin(IbCode* code, uint16_t len, uint8_t digits, uint8_t scale, bool is_signed);
// Opcodes without operands: MOVE_LOG 132, MOVE_VAR_LOG 138, LOG_TO_ALP 142,
// ALP_TO_LOG 180; BIN_TO_LOG 150 takes the source size.
uint8_t* bld_op(IbCode* code, uint16_t op);
uint8_t* bld_bin_to_log(IbCode* code, uint8_t size);
// Masked edits: the mask (mask_len bytes) follows the fixed part.
uint8_t* bld_num_to_alp(IbCode* code, uint8_t form, uint8_t digits, uint8_t scale, uint16_t src_len,
                        const char* mask, uint16_t mask_len);
uint8_t* bld_fmt_alp(IbCode* code, uint16_t len, uint8_t work, uint8_t edit, uint8_t flags, const char* mask,
                     uint16_t mask_len);
uint8_t* bld_alp_to_alp(IbCode* code, uint16_t tgt_len, uint16_t src_len, uint8_t edit, uint8_t flags,
                        const char* mask, uint16_t mask_len);
