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
