// Field statements: the layouts and builders of the field family's own
// instructions (APPEND, SET_TEMP, the binary/packed settings, PD_TO_LOG,
// TOKEN_TO_ALP, RND_UINT32B), and of the packed compare-expansions and
// UNXPND that the tests and the arithmetic build.
//
// Run-time rules (iifld.cpp):
//   - SET_BIN_TO_PD, SET_PD_TO_BIN, SET_BIN_TO_BIN work on the magnitude
//     and its sign; every value that does not fit, an invalid packed value
//     or a failed shift is 300540 and the target keeps its value. A fixed
//     packed target is shifted in a 16-byte work value before it is
//     stored, so a value that fits once shifted down is stored.
//   - SET_PD_TO_BIN shifts once (half away from zero); SET_BIN_TO_BIN one
//     digit at a time, each step rounding on its own (1.49 to scale 0 is
//     15, then 2).
//   - Stored binaries: 1 byte signed magnitude at most 127 (-128 refused),
//     unsigned at most 255; 2 bytes 32767 / 65535; 4 bytes signed below
//     2^31, unsigned any non-negative 32-bit value. A negative value into an
//     unsigned target is refused.
//   - RND_UINT32B: the unsigned binary work value (work value 2's first word)
//     divided by the divisor, rounded up only when twice the remainder is
//     above the divisor (an exact half rounds down); the rounding flag
//     (work value 2's second word) 1 when it rounded up. A divisor of 0 is
//     300540.
//   - PD_TO_LOG: '1' when the value differs from zero, else '0'; an invalid
//     value 300540.
//   - APPEND: the source after the target's last non-blank character and
//     that many separating blanks, within the target's trailing blanks.
//   - SET_TEMP: 1-based positions in length registers 1 (target) and 2
//     (source), the count in 3; a position before the field (or a negative
//     count) is 300170; blanks follow a short copy up to the count, never
//     past the target's end.
//   - UNXPND: scratch value 1 into the target; a value that does not fit is
//     300540 and the target keeps its value.
#pragma once

#include <cstdint>

#include "language/ib.h"

// ------------------------------------------------------------ layouts --
// Compare-expansions of packed operands; a variable operand's length is its
// digit bytes (its length less 1), its scale the byte after them.
struct IbXpndFixFix {    // COMP_XPND_FIX_FIX 422 (10)
  IbInst head;
  rec::U8 scale1;
  rec::U8 scale2;
  rec::U16 len1;
  rec::U16 len2;
};
QV_RECORD(IbXpndFixFix, 10);
struct IbXpndVarVar {    // COMP_XPND_VAR_VAR 278 (8)
  IbInst head;
  rec::U16 len1;         // length - 1
  rec::U16 len2;
};
QV_RECORD(IbXpndVarVar, 8);
struct IbXpndMixed {     // COMP_XPND_VAR_FIX 276 (operand 1 variable), _FIX_VAR 272 (operand 2) (10)
  IbInst head;
  rec::U16 var_len;      // length - 1
  rec::U16 fix_len;
  rec::U8 fix_scale;
  rec::U8 unused;
};
QV_RECORD(IbXpndMixed, 10);
struct IbUnxpnd {        // UNXPND 300 (6)
  IbInst head;
  rec::U16 len;
};
QV_RECORD(IbUnxpnd, 6);

struct IbAppend {        // APPEND 250, APPENDFIX 252 (10)
  IbInst head;
  rec::U16 tgt_len;      // APPENDFIX: the u8 at 4
  rec::U16 src_len;
  rec::U8 blanks;        // separating blanks
  rec::U8 unused;
};
QV_RECORD(IbAppend, 10);
QV_AT(IbAppend, blanks, 8);
struct IbRndU32 {        // RND_UINT32B 380 (8)
  IbInst head;
  rec::U32 divisor;
};
QV_RECORD(IbRndU32, 8);
struct IbSetTemp {       // SET_TEMP 406 (8)
  IbInst head;
  rec::U16 tgt_len;
  rec::U16 src_len;
};
QV_RECORD(IbSetTemp, 8);
struct IbTokenToAlp {    // TOKEN_TO_ALP 410 (36)
  IbInst head;
  rec::Text<3> app;
  rec::U8 zero;
  rec::Text<22> elem;    // the element whose token group it shows
  rec::U16 handle;       // token list (loaded when it first runs)
  rec::U16 src_len;
  rec::U16 tgt_len;
};
QV_RECORD(IbTokenToAlp, 36);
QV_AT(IbTokenToAlp, elem, 8);
QV_AT(IbTokenToAlp, handle, 30);
// SET_BIN_TO_PD 414 (16): the binary source at r2 into packed r1.
struct IbSetBinToPd {
  IbInst head;
  rec::U16 src_len;      // 1, 2, 4
  rec::U8 src_signed;
  rec::U8 unused1;
  rec::U16 scale;        // source scale (a variable target's scale byte)
  rec::U8 var_target;    // 1 variable, 0 fixed
  rec::U8 unused2;
  rec::U16 tgt_len;
  rec::U16 tgt_scale;
};
QV_RECORD(IbSetBinToPd, 16);
QV_AT(IbSetBinToPd, scale, 8);
QV_AT(IbSetBinToPd, tgt_len, 12);
// SET_PD_TO_BIN 416 (16): packed r2 into the binary at r1.
struct IbSetPdToBin {
  IbInst head;
  rec::U16 tgt_len;      // 1, 2, 4
  rec::U8 tgt_signed;
  rec::U8 unused1;
  rec::U16 tgt_scale;
  rec::U8 var_source;    // 1 variable, 0 fixed
  rec::U8 unused2;
  rec::U16 src_len;
  rec::U16 src_scale;
};
QV_RECORD(IbSetPdToBin, 16);
QV_AT(IbSetPdToBin, tgt_scale, 8);
QV_AT(IbSetPdToBin, src_len, 12);
// SET_BIN_TO_BIN 418 (16).
struct IbSetBinToBin {
  IbInst head;
  rec::U16 tgt_len;
  rec::U8 tgt_signed;
  rec::U8 unused1;
  rec::U16 tgt_scale;
  rec::U16 src_len;
  rec::U8 src_signed;
  rec::U8 unused2;
  rec::U16 src_scale;
};
QV_RECORD(IbSetBinToBin, 16);
QV_AT(IbSetBinToBin, src_len, 10);
QV_AT(IbSetBinToBin, src_scale, 14);
// PD_TO_LOG 424 (8).
struct IbPdToLog {
  IbInst head;
  rec::U8 len;           // value bytes (a variable source's less its scale byte)
  rec::U8 fixed;         // 1 fixed, 0 variable
  rec::U8 scale;         // a fixed source's
  rec::U8 unused;
};
QV_RECORD(IbPdToLog, 8);

// ----------------------------------------------------------- builders --
uint8_t* bld_comp_xpnd_fix_fix(IbCode* code, uint8_t scale1, uint8_t scale2, uint16_t len1, uint16_t len2);
uint8_t* bld_comp_xpnd_var_var(IbCode* code, uint16_t len1, uint16_t len2);
uint8_t* bld_comp_xpnd_var_fix(IbCode* code, uint16_t var_len, uint16_t fix_len, uint8_t fix_scale);
uint8_t* bld_comp_xpnd_fix_var(IbCode* code, uint16_t var_len, uint16_t fix_len, uint8_t fix_scale);
uint8_t* bld_unxpnd(IbCode* code, uint16_t len);
uint8_t* bld_append(IbCode* code, uint16_t tgt_len, uint16_t src_len, uint8_t blanks);
uint8_t* bld_rnd_uint32b(IbCode* code, uint32_t divisor);
uint8_t* bld_set_temp(IbCode* code, uint16_t tgt_len, uint16_t src_len);
uint8_t* bld_token_to_alp(IbCode* code, const char* app, const char* elem, uint16_t src_len, uint16_t tgt_len);
uint8_t* bld_set_bin_to_pd(IbCode* code, uint16_t src_len, bool src_signed, uint16_t scale, bool var_target,
                           uint16_t tgt_len, uint16_t tgt_scale);
uint8_t* bld_set_pd_to_bin(IbCode* code, uint16_t tgt_len, bool tgt_signed, uint16_t tgt_scale, bool var_source,
                           uint16_t src_len, uint16_t src_scale);
uint8_t* bld_set_bin_to_bin(IbCode* code, uint16_t tgt_len, bool tgt_signed, uint16_t tgt_scale, uint16_t src_len,
                            bool src_signed, uint16_t src_scale);
uint8_t* bld_pd_to_log(IbCode* code, uint8_t len, bool fixed, uint8_t scale);
// SET_IF_NULL (layout in ibutil.h) over two constants: the target's null
// value (tgt_len bytes) when the source equals its null image (src_len
// bytes); the caller writes the address past the statement into `past`.
uint8_t* bld_set_if_null(IbCode* code, uint16_t tgt_len, uint32_t tgt_null, uint16_t src_len, uint32_t src_null);
