// Packed-decimal arithmetic.
//
// A packed number of n bytes (n = 1..16) holds 2n - 1 decimal digits, two a
// byte, most significant first, and the sign in the low nibble of its last
// byte. Numeric work values are 8 bytes (15 digits) and 16 bytes (31 digits);
// a variable packed value is 8 bytes followed by one scale byte (9 bytes,
// kPdVarLen). Scales are not part of a packed value: callers keep them and
// align them (pd_shft) before they add or compare.
//
// Sign nibbles. A value is read with the common block's configured pair
// (com.pd_pos, com.pd_neg; 0xC and 0xD by default): its sign nibble must be one
// of the two. Every result is written with the configured pair, and a zero
// result is always the positive zero, whatever the signs of the operands.
//
// Failure. Every operation that stores a value returns 1 on success and 0 on
// failure, and leaves its target unchanged when it fails. It fails when:
//   - a length is outside 1..16 (the pd_fast_ forms take 8 bytes);
//   - an operand is not a valid packed number: a digit nibble above 9, or a
//     sign nibble that is neither the positive nor the negative one;
//   - the exact result does not fit the target's 2n - 1 digits (overflow is
//     never truncated silently); for pd_div also a zero divisor.
// An operand may be the target itself (pd_add(a, 8, a, 8) doubles a).
// The comparisons return -1, 0 or 1, and kPdCmpInvalid (2) when an operand is
// invalid, so a caller that tests "differs from zero" sees an invalid value as
// different.
//
// Decisions where the contract of the callers leaves a point open:
//   - Rounding (pd_shft, pd_div with round 1, pd_from_float, bin_math) is
//     half away from zero on the magnitude: 2.5 -> 3 and -2.5 -> -3, so a
//     negative value rounds to the negation of its absolute value's rounding.
//     Truncation (pd_shftn, pd_div with round 0, pd_var_bin) is toward zero.
//   - pd_div(a, alen, b, blen, scale, round): a := a * 10^scale / b. The
//     quotient carries `scale` more decimals than a's scale less b's scale;
//     scale is 0..31; round 0 truncates toward zero, any other value rounds
//     half away from zero. pd_div(a, alen, b, blen, 0, 0) is thus the
//     integer quotient, truncated toward zero (as date differences divide).
//   - SIG_DIGITS of zero is 0: zero has no significant digit, so digit counts
//     add up for a product (0 x anything fits).
//   - bin_math scales are counts of decimals (a factor of 10^scale); see
//     foundation/binc.h.
#pragma once

#include <cstdint>
#include <cstring>

#include "foundation/binc.h"
#include "foundation/pacdec.h"

constexpr int kPdMaxLen = 16;      // longest packed value, bytes
constexpr int kPdMaxDigits = 31;   // digits of a 16-byte value
constexpr int kPdFastLen = 8;      // length of the pd_fast_ values
constexpr int kPdVarLen = 9;       // variable packed: 8 bytes + scale byte
constexpr int kPdCmpInvalid = 2;   // comparison result for an invalid operand

// To call after the common block's sign nibbles change (bi_init_com does):
// the 8-byte multiply keeps tables for one pair of distinct nibbles and uses
// slower code for another until it has seen that one for a while.
void pd_signs_changed();

// a := a op b. a has alen bytes, b blen bytes (any mix of 1..16).
inline int pd_add(void* a, int alen, const void* b, int blen);
inline int pd_sub(void* a, int alen, const void* b, int blen);
inline int pd_mul(void* a, int alen, const void* b, int blen);
// a := a * 10^scale / b (see above).
int pd_div(void* a, int alen, const void* b, int blen, int scale, int round);

// Copies a packed value into a field of another length, re-signed with the
// configured pair (a zero of any sign becomes the positive zero); 0 when the
// value does not fit. Source and target may overlap.
int pd_set(void* target, int tlen, const void* source, int slen);

// -1, 0, 1 as a < b, a == b, a > b; kPdCmpInvalid for an invalid operand.
// Zeros of either sign are equal.
inline int pd_cmp(const void* a, int alen, const void* b, int blen);

// The same on 8-byte values.
inline int pd_fast_add(void* a, const void* b);
inline int pd_fast_sub(void* a, const void* b);
inline int pd_fast_cmp(const void* a, const void* b);
// Copies the 8 bytes of a packed value as they are.
inline void pd_fast_set(void* target, const void* source);

// n > 0: multiplies by 10^n (0 when a digit would be lost); n < 0: divides by
// 10^-n, pd_shft rounding half away from zero, pd_shftn truncating toward
// zero; n == 0 only checks the value. In place.
int pd_shft(void* value, int length, int n);
int pd_shftn(void* value, int length, int n);

// 32-bit integer to packed (0 when it does not fit the length).
int pd_cvp(void* target, int length, int32_t value);
// Packed to 32-bit integer. A value outside the int32 range or an invalid
// value gives 0 and *ok = false (when ok is given); callers that have no ok
// check by converting back and comparing.
int32_t pd_cvb(const void* value, int length, bool* ok = nullptr);
// The same over the unsigned 32-bit range (0..4294967295: a negative value
// or a larger one gives 0 and *ok = false), and over the signed 64-bit range.
int pd_cvp_u32(void* target, int length, uint32_t value);
uint32_t pd_cvb_u32(const void* value, int length, bool* ok = nullptr);
int pd_cvp64(void* target, int length, int64_t value);
int64_t pd_cvb64(const void* value, int length, bool* ok = nullptr);

// Copies a packed value of len bytes (1..16) into a 16-byte value as it is,
// the extra leading digits zero: the same number, unchecked (the operations
// check it). The interpreter's operands widen this way.
inline void pd_widen(void* wide, const void* value, int len) {
  auto* w = static_cast<uint8_t*>(wide);
  std::memset(w, 0, size_t(16 - len));
  std::memmove(w + 16 - len, value, size_t(len));
}
// The reverse for an 8-byte target: 1 and the low 8 bytes when the value's
// first 8 bytes are zero digits and it is a valid number (a zero written as
// the positive zero); else pd_set's answer.
int pd_narrow8(void* target, const void* wide);

// Whether a stored packed field is well formed for a field of `digits`
// integer plus decimal digits: the sign nibble is the configured positive or
// negative one, every digit nibble is 0-9, and when digits is even the
// first nibble (the one the field's digits leave over) is 0. 1 or 0.
int pd_vfy(const void* value, int length, int digits);

// Numeric text to packed. The text (length bytes) may have leading and
// trailing blanks, one sign ('+' or '-', leading or trailing), digits and at
// most one decimal point character; an all-blank text is zero. The value is
// written into buf (len bytes) and scale receives the number of digits after
// the point. 0 for any other text, for more than 31 digits after the point,
// or when the digits do not fit buf (leading zeros do not count; written
// fraction digits do: "1.50" is 150 at scale 2).
struct PdCva {
  void* buf;  // output packed value
  int len;    // its length in bytes, 1..16
  int scale;  // out: decimals written in the text
};
int pd_cva(const char* text, int length, char point, PdCva* out);

// Integer part of a variable packed value (8 bytes and a signed scale byte,
// any of -128..127), truncated toward zero and held to the int32 range; an
// invalid value gives 0.
int32_t pd_var_bin(const void* var);

// Counts the significant digits of a packed value into *count and returns the
// count (0 for zero); -1 for an invalid value or length.
int SIG_DIGITS(const void* value, int length, int* count);

// Packed value with a scale, to and from double-precision floating point.
struct PdFloat {
  void* value;  // packed value
  int length;   // its length, 1..16 (16 for the work values)
  int scale;    // decimals: -31..31 for pd_to_float (a negative scale
                // multiplies), 0..31 for pd_from_float
};
// The nearest double to value / 10^scale; NaN for an invalid value.
double pd_to_float(const PdFloat* block);
// value := x * 10^scale, rounded half away from zero on the exact binary value
// of x; 0 for a NaN or infinite x or when the result does not fit.
int pd_from_float(const PdFloat* block, double x);
// The same two on a value's magnitude as a binary integer (its digits) and
// sign, for callers that compute in binary: no packed form in between.
// pd_bin_to_float: NaN for a scale outside -31..31 or a magnitude of 32
// digits; pd_bin_from_float: |x| * 10^scale (0..31) as pd_from_float rounds
// it, false when not finite or it reaches 10^digits (digits 1..31).
double pd_bin_to_float(pacdec::u128 mag, bool neg, int scale);
bool pd_bin_from_float(double x, int scale, int digits, pacdec::u128* mag);

// ------------------------------------------------------------ fast paths ---
// Operations on two 8-byte values, the common case, run inline (on x86-64 the
// add, subtract and multiply as the kernels of pacdec.h); other lengths go to
// the general code in pd.cpp.
namespace pacdec {
int add_n(void* a, int alen, const void* b, int blen);
int sub_n(void* a, int alen, const void* b, int blen);
int mul_n(void* a, int alen, const void* b, int blen);
int cmp_n(const void* a, int alen, const void* b, int blen);
}  // namespace pacdec

[[gnu::always_inline]] inline int pd_add(void* a, int alen, const void* b, int blen) {
  if ((alen == 8) & (blen == 8)) return pacdec::add8<false>(a, b);
  return pacdec::add_n(a, alen, b, blen);
}
[[gnu::always_inline]] inline int pd_sub(void* a, int alen, const void* b, int blen) {
  if ((alen == 8) & (blen == 8)) return pacdec::add8<true>(a, b);
  return pacdec::sub_n(a, alen, b, blen);
}
[[gnu::always_inline]] inline int pd_mul(void* a, int alen, const void* b, int blen) {
  if ((alen == 8) & (blen == 8)) return pacdec::mul8_fast(a, b);
  return pacdec::mul_n(a, alen, b, blen);
}
inline int pd_cmp(const void* a, int alen, const void* b, int blen) {
  if ((alen == 8) & (blen == 8)) return pacdec::cmp_short(a, 8, b, 8);
  return pacdec::cmp_n(a, alen, b, blen);
}
[[gnu::always_inline]] inline int pd_fast_add(void* a, const void* b) { return pacdec::add8<false>(a, b); }
[[gnu::always_inline]] inline int pd_fast_sub(void* a, const void* b) { return pacdec::add8<true>(a, b); }
inline int pd_fast_cmp(const void* a, const void* b) { return pacdec::cmp_short(a, 8, b, 8); }
inline void pd_fast_set(void* target, const void* source) { std::memmove(target, source, 8); }
