// Binary arithmetic through packed decimal.
//
// bin_math(a, b, op, scale_b, kind_b, scale_a, kind_a): a and b are 32-bit
// binary field values with their scales (decimals: the value of a is
// a / 10^scale_a); kind 2 marks an unsigned field, whose word is read as
// 0..4294967295 (its packed form is never negative); any other kind is a
// signed field. The operation runs on the exact values (multiply, divide and
// copy through 16-byte packed numbers), and the result, at a's scale, is
// stored in *a:
//   1 add       a + b
//   2 subtract  a - b
//   3 multiply  a * b
//   4 divide    a / b
//   5 copy      b
// Results are exact before they are brought to a's scale, which rounds half
// away from zero (a quotient too); a sum is exact whatever the two scales
// (1 + 10^-31 at scale 0 is 1), however many digits aligning them would take. Returns 1, or 0 (a unchanged) for another
// operation, a zero divisor, or a result that does not fit a's kind
// (-2^31..2^31-1 signed, 0..2^32-1 unsigned).
//
// The scales are counts of decimals, so a field without decimals (scale 0)
// has the factor 1 and two such fields give plain integer arithmetic.
#pragma once

#include <cstdint>

enum BinMathOp : int { kBinAdd = 1, kBinSub = 2, kBinMul = 3, kBinDiv = 4, kBinCopy = 5 };
constexpr int kBinUnsigned = 2;  // kind of an unsigned field

int bin_math(int32_t* a, int32_t b, int op, int scale_b, int kind_b, int scale_a, int kind_a);
