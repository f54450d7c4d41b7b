// CALC and COMPUTE/TOTAL: instruction layouts and builders.
//
// A CALC expression compiles to stack code: a reset, a push of the result
// variable, the expression tree in post-order (pushes, operations,
// negations, conversions of integer variables, functions) and a store. A
// COMPUTE or TOTAL loads entry 0 (target, address register 1) and entry 1
// (source, register 2), converts a binary one when the other is not, runs
// one operation and stores the result into the target.
#pragma once

#include <cstdint>

#include "language/ib.h"

// 700-741 except 710: 4 or 6 bytes (the reset carries no operand).
struct IbMath {
  IbInst head;
  rec::U8 arg;     // 702 type; 704 operation 1-4; 712 function; 714 which; 720 operation; hash digits
  rec::U8 scale;   // the target's scale (720-740)
};
QV_RECORD(IbMath, 6);
// COMPUTE_OPRND (710, 10 bytes).
struct IbComputeOprnd {
  IbInst head;
  rec::U8 is_signed;
  rec::U8 type;     // 5, 8, 12
  rec::U8 len;
  rec::U8 which;    // 1 target (register 1), 2 source (register 2)
  rec::U8 scale;
  rec::U8 unused;
};
QV_RECORD(IbComputeOprnd, 10);

// The numeric description of an operand, as a compile function gives it.
struct IbNum {
  uint8_t type = 8;        // 5 binary, 8 fixed packed, 12 variable packed, 1 alpha (COMPUTE source)
  uint8_t len = 8;         // bytes (variable packed 9)
  uint8_t scale = 0;
  uint8_t digits = 0;      // integer digits (a hash total keeps digits + scale)
  bool is_signed = true;
};

// Calculation functions (the byte of CALC_FN).
enum IbCalcFn : uint8_t {
  kFnAcos = 1, kFnAsin, kFnAtan, kFnCos, kFnSin, kFnTan, kFnCosh, kFnSinh, kFnTanh, kFnExp,
  kFnLog, kFnLog10, kFnMod, kFnPow, kFnSqrt, kFnCeil, kFnAbs, kFnFloor, kFnAtan2
};

// The CALC stack code: reset; push address register 1's operand of type 5,
// 8 or 12; an operator ('+', '-', '*', '/', '~' negate, '$' convert the
// top integer, '=' store); a function of IbCalcFn.
uint8_t* bld_calc_reset(IbCode* code);
uint8_t* bld_calc_load(IbCode* code, uint8_t type);
uint8_t* bld_calc_eval(IbCode* code, char op);
uint8_t* bld_calc_fn(IbCode* code, uint8_t fn);
// COMPUTE and TOTAL after the target is in register 1 and the source in
// register 2. op: '+', '-', '*', '/', '1' hash add, '2' hash subtract. A
// total's target is the 9-byte variable packed accumulator (type 12). Null
// when the operation does not fit the operands (a binary hash target, a
// binary hash subtract, another operator): the compile function reports its
// message (101160, 101780).
uint8_t* bld_compute(IbCode* code, const IbNum& target, const IbNum& source, char op);
