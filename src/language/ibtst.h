// IF, AND and OR: the truth mask, the comparison layouts and their builders.
//
// The truth mask has five levels of two bits, level 1 in bits 8-9 ... level
// 5 in bits 0-1: 1 true, 2 false, 3 unset (0x3FF all unset). A statement's
// level shift is 2 x (5 - index of its first blank T/F position): 10 sets
// level 1, 8 level 2 ... 2 level 5; 0 (no blank position) sets nothing. A
// test sets its level and makes every deeper level unset.
//
// Decisions: AND and OR at shift 0 leave the mask alone, as IF does; a
// binary comparison is exact (128 bits), a signed operand against an
// unsigned one by value; an invalid packed operand is run-time error 300540.
#pragma once

#include <cstdint>

#include "foundation/cvdat.h"
#include "language/ib.h"
#include "language/ibfld.h"

// Sets the level of shift s to v (1, 2) and every deeper level to unset.
inline uint32_t ii_set_tf(uint32_t mask, uint32_t v, uint32_t shift) {
  if (shift < 2 || shift > 10) return mask;
  uint32_t low = shift - 2;
  return ((mask >> shift) << shift | v << low | ((1u << low) - 1)) & 0x3FF;
}
// The truth value of a comparison result (-1, 0, 1) under relation 1-6.
inline int ii_rel(int cmp, int relation) {
  // rows: less, equal, greater; columns: relation 0-8 (0, 7 and 8: false)
  static constexpr uint8_t kRel[3][9] = {{2, 2, 2, 2, 1, 1, 1, 2, 2},
                                         {2, 1, 1, 2, 1, 2, 2, 2, 2},
                                         {2, 2, 1, 1, 2, 2, 1, 2, 2}};
  int row = cmp < 0 ? 0 : cmp == 0 ? 1 : 2;
  return relation >= 0 && relation <= 8 ? kRel[row][relation] : 2;
}

// Layouts.
struct IbChkTf {         // CHK_TF 500 (16)
  IbInst head;
  CodeRef past;          // the address after the comparison
  rec::U32 shift;
  rec::U8 is_or;
  rec::Bytes<3> unused;
};
QV_RECORD(IbChkTf, 16);
struct IbIfCmp {         // IF_STR_EQ 504 (12)
  IbInst head;
  rec::U32 shift;
  rec::U16 len;
  rec::U8 rel;
  rec::U8 is_if;
};
QV_RECORD(IbIfCmp, 12);
struct IbIfRest {        // IF_STR_REST 506 (16)
  IbInst head;
  rec::U32 shift;
  rec::U16 diff;         // length difference
  rec::U16 shorter;
  rec::U8 rel;
  rec::U8 longer;        // 1 or 2
  rec::U8 is_if;
  rec::U8 unused;
};
QV_RECORD(IbIfRest, 16);
struct IbIf2 {           // IF_STR_JUST 498, IF_PD 510, IF_IN 502, IF_EX 512 (16)
  IbInst head;
  rec::U32 shift;
  rec::U16 len1;
  rec::U16 len2;
  rec::U8 rel;           // IF_IN, IF_EX: the IF flag here
  rec::U8 is_if;
  rec::U16 unused;
};
QV_RECORD(IbIf2, 16);
struct IbIfBin {         // IF_BIN 508 (16)
  IbInst head;
  rec::U32 shift;
  rec::U8 rel;
  rec::U8 code;          // c2 + 6 x (c1 - 1); c = 1 unsigned, 4 signed, +2 one byte, +1 two bytes
  rec::U8 is_if;
  rec::U8 scale2;
  rec::U8 scale1;
  rec::Bytes<3> unused;
};
QV_RECORD(IbIfBin, 16);
// Compare-expansions and UNXPND: language/ibfld.h.

// IF_DAT 516 (84 + both compiled masks): each operand's date descriptor
// (its value and mask references are filled when it runs, so the stored
// instruction holds none), the masks' tokens from byte 84, the first's then
// the second's.
struct IbIfDat {
  IbInst head;
  rec::U32 shift;
  rec::U8 rel;
  rec::U8 is_if;
  rec::U16 masks_len;    // both masks' tokens
  DateDescRec d1;
  DateDescRec d2;
  rec::Bytes<8> unused;
};
QV_RECORD(IbIfDat, 84);
QV_AT(IbIfDat, d1, 12);
QV_AT(IbIfDat, d2, 44);

// One operand of a test, as the compile function knows it (its address is
// in register 1 or 2 already).
struct IbTstOp {
  uint8_t type = 1;      // 1 alpha, 5 binary, 8 fixed packed, 12 variable packed, 11 logic
  uint16_t len = 0;
  uint8_t scale = 0;
  bool is_signed = true;
  bool justified = false;
  const char* date_mask = nullptr;  // dates: the element's edit mask (60 bytes; null or blank: all eight units)
};
// The size-and-sign code of a binary operand.
uint8_t ib_bin_code(const IbTstOp& op);

uint8_t* sc_gen_if_comp(IbCode* code, uint16_t op, uint32_t shift, uint16_t len, uint8_t rel, bool is_if);
uint8_t* bld_chk_tf(IbCode* code, uint32_t shift, bool is_or);
uint8_t* bld_if_str_rest(IbCode* code, uint32_t shift, uint16_t diff, uint16_t shorter, uint8_t rel,
                         uint8_t longer, bool is_if);
uint8_t* bld_if2(IbCode* code, uint16_t op, uint32_t shift, uint16_t len1, uint16_t len2, uint8_t rel,
                 bool is_if);
uint8_t* bld_if_bin(IbCode* code, uint32_t shift, uint8_t rel, const IbTstOp& a, const IbTstOp& b, bool is_if);
// IF_DAT for two date operands; null with *msg 102400 when their unit
// ranges share no unit.
uint8_t* bld_if_dat(IbCode* code, uint32_t shift, uint8_t rel, bool is_if, const IbTstOp& a, const IbTstOp& b,
                    uint32_t* msg);
// IF (verb 38), AND (3), OR (52) with operands a (register 1) and b
// (register 2) under relation 1-8: 1, or 0 with *msg the reason (102400
// dates without common units; 0 an operand type the tests do not take).
// Relations 7 and 8 need register 3 loaded with "TEXT AT POSITION" (the
// caller loads it).
int bld_if_and_or(IbCode* code, const IbTstOp& a, const IbTstOp& b, uint8_t rel, int verb, uint32_t shift,
                  uint32_t* msg);
