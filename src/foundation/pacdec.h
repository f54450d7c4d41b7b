// Packed-decimal codec: the conversions between packed bytes and binary that
// the arithmetic in pd.cpp and binc.cpp is built on.
//
// A packed value of n bytes is read as one big-endian word (two for n > 8), so
// its digit nibbles are in order and can be checked and converted a whole word
// at a time (SIMD within a register): no loop over digits, no branch per digit.
// Magnitudes are unsigned 128-bit integers (31 digits need 103 bits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/bi.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pacdec {

using u128 = unsigned __int128;
using i128 = __int128;

constexpr u128 pow10_at(int n) {
  u128 v = 1;
  for (int i = 0; i < n; ++i) v *= 10;
  return v;
}

// 10^0 .. 10^38 (10^38 is the largest power of ten below 2^128).
struct Pow10Table {
  u128 v[39];
  constexpr Pow10Table() : v() {
    for (int i = 0; i < 39; ++i) v[i] = pow10_at(i);
  }
};
inline constexpr Pow10Table kPow10{};
inline u128 pow10(int n) { return kPow10.v[n]; }

// ------------------------------------------------------------ raw words ---
inline uint64_t load8(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return __builtin_bswap64(w);
}
inline void store8(uint8_t* p, uint64_t w) {
  w = __builtin_bswap64(w);
  std::memcpy(p, &w, 8);
}
// The n bytes (1..8) at p as a big-endian number. A value of 3, 5, 6 or 7
// bytes is read and written (store_be) in the same pieces, 4, 2 and 1
// bytes in that order as n holds them: a load right after the store of a
// value takes each piece from its store. (Two wide accesses that overlap
// would each take bytes from both stores, which a load cannot take from
// stores in flight: it waits until they reach the cache.)
inline uint64_t load_be(const uint8_t* p, int n) {
  if (n == 8) return load8(p);
  uint64_t w = 0;
  int i = 0;
  if (n & 4) {
    uint32_t a;
    std::memcpy(&a, p, 4);
    w = __builtin_bswap32(a);
    i = 4;
  }
  if (n & 2) {
    uint16_t c;
    std::memcpy(&c, p + i, 2);
    w = w << 16 | __builtin_bswap16(c);
    i += 2;
  }
  if (n & 1) w = w << 8 | p[i];
  return w;
}
// The low n bytes (1..8) of w, big-endian, at p, in load_be's pieces (no
// copy of a variable length, which is a call).
inline void store_be(uint8_t* p, uint64_t w, int n) {
  if (n == 8) return store8(p, w);
  int i = n;
  if (n & 1) {
    p[--i] = uint8_t(w);
    w >>= 8;
  }
  if (n & 2) {
    i -= 2;
    uint16_t c = __builtin_bswap16(uint16_t(w));
    std::memcpy(p + i, &c, 2);
    w >>= 16;
  }
  if (n & 4) {
    uint32_t a = __builtin_bswap32(uint32_t(w));
    std::memcpy(p, &a, 4);
  }
}

// ----------------------------------------------------------- nibble words ---
// True when every nibble of x is a decimal digit (a nibble above 9 has its
// high bit and one of the two middle bits set).
inline bool digits_ok(uint64_t x) {
  return (x & ((x << 1) | (x << 2)) & 0x8888888888888888ULL) == 0;
}

// 16 decimal nibbles to their binary value.
inline uint64_t bcd_to_bin(uint64_t x) {
  x -= ((x >> 4) & 0x0F0F0F0F0F0F0F0FULL) * 6;            // bytes: 0..99
  x -= ((x >> 8) & 0x00FF00FF00FF00FFULL) * 156;          // 16-bit: 0..9999
  x -= ((x >> 16) & 0x0000FFFF0000FFFFULL) * 55536;       // 32-bit: 0..99999999
  return (x >> 32) * 100000000ULL + (x & 0xFFFFFFFFULL);
}

// n < 10^16 to 16 decimal nibbles, as the 8 bytes to store: most significant
// byte first in memory (the word is their little-endian load). Eight lanes of
// 16 bits divide by 100 and 10 at once with high-half multiplies (SSE2, part
// of every x86-64); elsewhere a plain loop.
inline uint64_t bcd_mem(uint64_t n) {
#if defined(__SSE2__)
  uint64_t hi = n / 100000000ULL, lo = n % 100000000ULL;
  __m128i v = _mm_set_epi64x(static_cast<long long>(lo), static_cast<long long>(hi));
  // 8-digit halves to 4-digit quarters: n / 10^4 = n * 0xD1B71759 >> 45.
  __m128i q = _mm_srli_epi64(_mm_mul_epu32(v, _mm_set1_epi64x(0xD1B71759)), 45);
  __m128i r = _mm_sub_epi32(v, _mm_mul_epu32(q, _mm_set1_epi64x(10000)));
  __m128i x = _mm_or_si128(q, _mm_slli_epi64(r, 32));
  // Quarters to digit pairs: x / 100 = (x * 5243 >> 16) >> 3 for x < 43699.
  __m128i q2 = _mm_srli_epi16(_mm_mulhi_epu16(x, _mm_set1_epi32(5243)), 3);
  __m128i r2 = _mm_sub_epi16(x, _mm_mullo_epi16(q2, _mm_set1_epi32(100)));
  __m128i y = _mm_or_si128(q2, _mm_slli_epi32(r2, 16));
  // Pairs to nibbles: y / 10 = y * 6554 >> 16 for y < 100.
  __m128i t = _mm_mulhi_epu16(y, _mm_set1_epi16(6554));
  __m128i o = _mm_sub_epi16(y, _mm_mullo_epi16(t, _mm_set1_epi16(10)));
  __m128i z = _mm_or_si128(_mm_slli_epi16(t, 4), o);
  return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(z, z)));
#else
  uint64_t w = 0;
  for (int i = 0; i < 16; ++i, n /= 10) w |= (n % 10) << (4 * i);
  return __builtin_bswap64(w);
#endif
}

#if defined(__SSE2__)
// Two 8-byte packed values, as loaded from memory (little-endian loads of
// their big-endian bytes) with the sign nibble cleared, to binary at once:
// each gives 10 times its magnitude (the sign nibble counts as a zero digit).
// *bad is true when a digit nibble of either is above 9.
inline __m128i bcd_mem_to_bin2(uint64_t ra, uint64_t rb, bool* bad) {
  __m128i v = _mm_set_epi64x(static_cast<long long>(rb), static_cast<long long>(ra));
  __m128i nib = _mm_set1_epi8(0x0F);
  __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), nib);
  __m128i lo = _mm_and_si128(v, nib);
  __m128i nine = _mm_set1_epi8(9);
  *bad = _mm_movemask_epi8(_mm_or_si128(_mm_cmpgt_epi8(hi, nine), _mm_cmpgt_epi8(lo, nine))) != 0;
  // Bytes: hi * 10 + lo = byte - 6 hi (no byte overflows into the next).
  __m128i b = _mm_sub_epi16(v, _mm_mullo_epi16(hi, _mm_set1_epi16(6)));
  // 16-bit lanes: the first byte in memory is the more significant.
  __m128i w = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(b, _mm_set1_epi16(0x00FF)), _mm_set1_epi16(100)),
                            _mm_srli_epi16(b, 8));
  // 32-bit lanes: first * 10^4 + second; 64-bit lanes: first * 10^8 + second.
  __m128i d = _mm_madd_epi16(w, _mm_set1_epi32((1 << 16) | 10000));
  return _mm_add_epi64(_mm_mul_epu32(d, _mm_set1_epi64x(100000000)), _mm_srli_epi64(d, 32));
}
#endif

// n < 10^16 to 16 decimal nibbles (as a number).
inline uint64_t bin_to_bcd(uint64_t n) { return __builtin_bswap64(bcd_mem(n)); }

// Decimal nibble words added without converting: the six unused codes of
// each nibble are skipped by adding 6 up front and taking it back from the
// nibbles that did not carry. With 15 digits in the low 60 bits, the carry
// out of the 15th digit shows in bit 60.
constexpr uint64_t kSixes15 = 0x0666666666666666ULL;
constexpr uint64_t kNines15 = 0x0999999999999999ULL;
constexpr uint64_t kNines16 = 0x9999999999999999ULL;
constexpr uint64_t kNibbleCarries = 0x1111111111111110ULL;  // carries into nibbles 1-15
constexpr uint64_t kLow60 = 0x0FFFFFFFFFFFFFFFULL;

// x + y + cin on 15-digit words; the carry out lands in bit 60.
inline uint64_t bcd_add15(uint64_t x, uint64_t y, uint64_t cin) {
  uint64_t t1 = x + kSixes15;
  uint64_t t2 = t1 + y + cin;
  uint64_t fix = ~(t2 ^ t1 ^ y) & kNibbleCarries;
  return t2 - ((fix >> 2) | (fix >> 3));
}
// x + y + cin on 16-digit words; *cout receives the carry out of the top.
inline uint64_t bcd_add16(uint64_t x, uint64_t y, uint64_t cin, uint64_t* cout) {
  uint64_t t1 = x + 0x6666666666666666ULL;
  uint64_t s;
  uint64_t c1 = __builtin_add_overflow(t1, y, &s);
  uint64_t t2;
  uint64_t c2 = __builtin_add_overflow(s, cin, &t2);
  uint64_t carry = c1 | c2;
  uint64_t fix = ~(t2 ^ t1 ^ y) & kNibbleCarries;
  *cout = carry;
  return t2 - ((fix >> 2) | (fix >> 3)) - ((carry ^ 1) * 0x6000000000000000ULL);
}

// ------------------------------------------------------------- 128-bit ---
// n / 10^15 and n % 10^15 for n < 10^31.
inline uint64_t div_e15(u128 n, uint64_t* rem) {
  if ((n >> 64) == 0) {
    uint64_t m = uint64_t(n);
    *rem = m % 1000000000000000ULL;
    return m / 1000000000000000ULL;
  }
#if defined(__x86_64__)
  // 10^15 = 2^15 * 5^15: divide the top part by 5^15 with one 128/64 divide
  // (the quotient fits 64 bits because n < 10^31).
  u128 m = n >> 15;
  uint64_t hi = uint64_t(m >> 64), lo = uint64_t(m), q, r;
  __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(lo), "d"(hi), "r"(30517578125ULL) : "cc");
  *rem = (r << 15) | uint64_t(n & 0x7FFF);
  return q;
#else
  *rem = uint64_t(n % 1000000000000000ULL);
  return uint64_t(n / 1000000000000000ULL);
#endif
}

// Number of decimal digits of n (0 for 0).
inline int digit_count(u128 n) {
  if (n == 0) return 0;
  int bits = 128 - ((n >> 64) ? __builtin_clzll(uint64_t(n >> 64)) : 64 + __builtin_clzll(uint64_t(n)));
  int d = (bits * 1233) >> 12;  // floor(bits * log10(2)), at most one short
  return d + (n >= pow10(d) ? 1 : 0);
}

// ----------------------------------------------------------- whole values ---
// Reads a packed value of len bytes (1..16) with the configured sign nibbles.
// False for a bad length, a digit nibble above 9 or an unknown sign nibble.
inline bool decode(const void* value, int len, u128& mag, bool& neg) {
  const uint8_t* p = static_cast<const uint8_t*>(value);
  uint8_t pos = com.pd_pos, negn = com.pd_neg;
  if (len >= 1 && len <= 8) {
    uint64_t w = load_be(p, len);
    unsigned s = unsigned(w & 0xF);
    uint64_t d = w >> 4;
    neg = s == negn;
    mag = bcd_to_bin(d);
    return digits_ok(d) & (neg | (s == pos));
  }
  if (len > 8 && len <= 16) {
    uint64_t lo = load8(p + len - 8), hi = load_be(p, len - 8);
    unsigned s = unsigned(lo & 0xF);
    uint64_t d = lo >> 4;
    neg = s == negn;
    mag = u128(bcd_to_bin(hi)) * 1000000000000000ULL + bcd_to_bin(d);
    return digits_ok(d) & digits_ok(hi) & (neg | (s == pos));
  }
  return false;
}

// Largest magnitude plus one of a len-byte value: 10^(2 len - 1).
inline u128 limit(int len) { return pow10(2 * len - 1); }

// Writes mag (which must be below limit(len)) with the configured sign
// nibbles; zero is written positive.
inline void encode(void* value, int len, u128 mag, bool neg) {
  uint8_t* p = static_cast<uint8_t*>(value);
  uint64_t sign = (neg && mag != 0) ? com.pd_neg : com.pd_pos;
  if (len <= 8) {
    store_be(p, (bin_to_bcd(uint64_t(mag)) << 4) | sign, len);
    return;
  }
  uint64_t lo;
  uint64_t hi = div_e15(mag, &lo);
  // 10 lo is lo shifted one nibble: room for the sign in the last byte.
  uint64_t last = bcd_mem(lo * 10) | (sign << 56);
  std::memcpy(p + len - 8, &last, 8);
  store_be(p, bin_to_bcd(hi), len - 8);
}

inline bool len_ok(int len) { return len >= 1 && len <= 16; }

// ------------------------------------------------------ 8-byte fast paths ---
// Inline so that the common case of 8-byte work values costs no call: pd.h
// dispatches to these when both lengths are 8, and pd.cpp uses the same code
// for the other lengths of up to 8 bytes.

// Selects x where mask is all ones, y where it is zero: no branch on data.
inline uint64_t pick(uint64_t mask, uint64_t x, uint64_t y) { return y ^ ((x ^ y) & mask); }
inline uint64_t all_if(bool c) { return 0 - uint64_t(c); }
// Selections on data (signs, comparisons of values) that must not become
// branches: random signs would make them mispredict. x86-64 gets a compare
// and a conditional move; elsewhere the mask form, whose mask the compiler is
// kept from seeing through.
inline uint64_t opaque(uint64_t m) {
  __asm__("" : "+r"(m));
  return m;
}
inline uint64_t sel_mask(bool c, uint64_t x, uint64_t y) { return pick(opaque(0 - uint64_t(c)), x, y); }
// x when a >= b, else y.
inline uint64_t sel_ge(uint64_t a, uint64_t b, uint64_t x, uint64_t y) {
#if defined(__x86_64__)
  __asm__("cmpq %[b], %[a]\n\tcmovaeq %[x], %[y]" : [y] "+r"(y) : [a] "r"(a), [b] "r"(b), [x] "r"(x) : "cc");
  return y;
#else
  return sel_mask(a >= b, x, y);
#endif
}
// x when a == b, else y.
inline uint64_t sel_eq(uint64_t a, uint64_t b, uint64_t x, uint64_t y) {
#if defined(__x86_64__)
  __asm__("cmpq %[b], %[a]\n\tcmoveq %[x], %[y]" : [y] "+r"(y) : [a] "r"(a), [b] "r"(b), [x] "r"(x) : "cc");
  return y;
#else
  return sel_mask(a == b, x, y);
#endif
}
// x when v != 0, else y.
inline uint64_t sel_nz(uint64_t v, uint64_t x, uint64_t y) {
#if defined(__x86_64__)
  __asm__("testq %[v], %[v]\n\tcmovneq %[x], %[y]" : [y] "+r"(y) : [v] "r"(v), [x] "r"(x) : "cc");
  return y;
#else
  return sel_mask(v != 0, x, y);
#endif
}

// a := a + b (b negated when Sub), both of 1..8 bytes: 15 digits in one word.
// The sign nibbles serve as the signs: b's is flipped for a subtraction, the
// signs agree when the nibbles do, and the result takes x's nibble.
template <bool Sub, bool Fixed8>
inline int add_short(void* av, int alen, const void* bv, int blen) {
  uint8_t* a = static_cast<uint8_t*>(av);
  const uint8_t* b = static_cast<const uint8_t*>(bv);
  uint64_t wa = Fixed8 ? load8(a) : load_be(a, alen);
  uint64_t wb = Fixed8 ? load8(b) : load_be(b, blen);
  uint64_t pos = com.pd_pos, negn = com.pd_neg;
  uint64_t sa = wa & 0xF, sb = wb & 0xF;
  uint64_t sbe = Sub ? sb ^ pos ^ negn : sb;
  uint64_t da = wa >> 4, db = wb >> 4;
  uint64_t x = sel_ge(da, db, da, db), small = x ^ da ^ db;
  // Same signs: y is the smaller magnitude; else its nines' complement and a
  // carry in. `same` is all ones or zero.
  uint64_t same = sel_eq(sa, sbe, ~0ULL, 0);
  uint64_t y = sel_nz(same, small, kNines15 - small);
  // x + 6 in every digit is the first step of the sum; a digit above 9 of x
  // (or of the smaller operand, tried the same way) carries out of its nibble.
  uint64_t t1 = x + kSixes15;
  uint64_t t2 = t1 + y + (same + 1);
  uint64_t fix = ~(t2 ^ t1 ^ y) & kNibbleCarries;
  uint64_t r = (t2 - ((fix >> 2) | (fix >> 3))) & (same | kLow60);
  uint64_t bad_digits = ((t1 ^ x ^ kSixes15) | ((small + kSixes15) ^ small ^ kSixes15)) & kNibbleCarries;
  bool bad = (bad_digits != 0) | ((sa != pos) & (sa != negn)) | ((sb != pos) & (sb != negn)) |
             ((r >> (Fixed8 ? 60 : 4 * (2 * alen - 1))) != 0);
  // The result takes the larger magnitude's sign (either, when they agree);
  // zero is positive.
  uint64_t sign = sel_nz(r, sel_ge(da, db, sa, sbe), pos);
  if (bad) return 0;
  uint64_t w = (r << 4) | sign;
  if (Fixed8) store8(a, w); else store_be(a, w, alen);
  return 1;
}

// The comparison of two values of up to 8 bytes already loaded (load_be).
inline int cmp_words(uint64_t wa, uint64_t wb) {
  unsigned pos = com.pd_pos, negn = com.pd_neg;
  unsigned sa = unsigned(wa & 0xF), sb = unsigned(wb & 0xF);
  uint64_t da = wa >> 4, db = wb >> 4;
  bool na = sa == negn, nb = sb == negn;
  bool ok = digits_ok(da) & digits_ok(db) & (na | (sa == pos)) & (nb | (sb == pos));
  if (!ok) return 2;  // kPdCmpInvalid
  // Decimal nibbles order like their values, so the words compare directly.
  int64_t va = na ? -int64_t(da) : int64_t(da);
  int64_t vb = nb ? -int64_t(db) : int64_t(db);
  return (va > vb) - (va < vb);
}
inline int cmp_short(const void* a, int alen, const void* b, int blen) {
  return cmp_words(load_be(static_cast<const uint8_t*>(a), alen), load_be(static_cast<const uint8_t*>(b), blen));
}

// a := a * b on 8-byte values.
#if defined(__SSE2__)
inline int mul8(void* a, const void* b) {
  // Both below 10^15. Read as stored, the sign nibble sits in bits 56-59;
  // cleared, each value converts to 10 times its magnitude, so 10 a * b is
  // the product shifted one nibble up, with room for the result's sign.
  constexpr uint64_t kSignBits = 0xFULL << 56;
  uint64_t ra, rb;
  std::memcpy(&ra, a, 8);
  std::memcpy(&rb, b, 8);
  uint64_t pos = com.pd_pos, negn = com.pd_neg;
  uint64_t sa = (ra >> 56) & 0xF, sb = (rb >> 56) & 0xF;
  bool bad;
  __m128i v = bcd_mem_to_bin2(ra & ~kSignBits, rb & ~kSignBits, &bad);
  uint64_t a10 = uint64_t(_mm_cvtsi128_si64(v));
  uint64_t b10 = uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
  uint64_t mb = (b10 >> 1) * 0xCCCCCCCCCCCCCCCDULL;  // exact b10 / 10: times the inverse of 5
  uint64_t p10;
  bad |= __builtin_mul_overflow(a10, mb, &p10);
  bad |= (p10 >= 10000000000000000ULL) | ((sa != pos) & (sa != negn)) | ((sb != pos) & (sb != negn));
  uint64_t sign = sel_nz(p10, sel_eq(sa, sb, pos, negn), pos);
  uint64_t w = bcd_mem(p10) | (sign << 56);
  if (bad) return 0;
  std::memcpy(a, &w, 8);
  return 1;
}
#endif

// The 8-byte multiply for any operands (pd.cpp).
int mul8_wide(void* a, const void* b);

// ------------------------------------------------ x86-64 8-byte kernels ---
// Hand-scheduled forms of the 8-byte add, subtract and multiply for x86-64
// (optimized builds; the portable code above serves everything else, and is
// what a debug or sanitizer build, or one with QUVO_PD_PORTABLE defined,
// runs). On current x86-64 cores multiplies issue on one execution port,
// shifts, conditional moves and branches on two, and every instruction that
// waits on a long chain of dependent steps holds a scheduler entry; the
// kernels are written to those limits (few instructions, short chains, table
// lookups in the first level cache), which the compiler does not weigh. They
// address the operands through memory operands, so that a caller's loop keeps
// its pointers and indexes in registers, and use seven or eight scratch
// registers. Every failure leaves the target untouched: the stores come after
// the last check. The sign nibbles pd_pos and pd_neg are taken to be nibbles
// (0-15), as the common block defines them.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__OPTIMIZE__) && !defined(QUVO_PD_PORTABLE)
#define QUVO_PD_X86 1

// Constants the kernels read from memory (an immediate operand holds 32 bits).
inline constexpr uint64_t kDigitSixes = 0x0666666666666666ULL;  // 6 in each of 15 digit nibbles
inline constexpr uint64_t kDigitCarries = 0x1111111111111110ULL;  // the carry into digit nibbles 1-15
// nibble_bit[n]: bit n for n = 0..15, 0 for any other byte; the configured
// sign nibbles are the bits of their two entries.
struct SignBits {
  uint32_t nibble_bit[256];
  constexpr SignBits() : nibble_bit() {
    for (int b = 0; b < 16; ++b) nibble_bit[b] = 1u << b;
  }
};
alignas(64) inline constexpr SignBits kSignBits{};

// The tables of the multiply kernel, one object so that one base register
// reaches them all. pd.cpp fills them for one sign pair (the common block's at
// start-up, pd_signs_changed after a change); the kernel compares `pair` with
// the common block's and takes the general code when they differ.
//  - lead[b3 | b4 << 8]: the fourth and fifth bytes of a value of at most 8
//    digits ([0 d8] [d7 d6]) to d8 d7 d6 times 10^5;
//  - mid[b5]: the sixth byte to its two digits times 10^3;
//  - tail[b6 | b7 << 8]: the last two bytes ([d3 d2] [d1 sign]) to d3 d2 d1,
//    the sign one of the pair;
//  - anything else (a digit above 9, a sign outside the pair) to kMulBad, so
//    a sum of three lookups holding one is at least 2^29, while a value of 8
//    digits stays below 10^8 < 2^27;
//  - quad[g]: g = 0..9999 as four digits, the packed bytes to store, first
//    byte in the low half;
//  - last[g + 1000 s]: g = 0..999 as three digits and the sign nibble, the
//    positive one for s = 0, the negative one for s = 1, bytes as in quad;
//  - sign[x]: for x the xor of the two last bytes (equal sign nibbles leave a
//    zero low nibble), the half of `last` that holds the product's sign.
// 64K entries per 16-bit index make each operand three lookups; only their
// used rows (a few hundred cache lines) stay in the cache.
inline constexpr uint32_t kMulBad = 0x20000000u;
struct MulTables {
  uint32_t lead[65536];
  uint8_t skew[64];  // keeps the rows of tail in use off the cache sets of lead's
  uint32_t tail[65536];
  uint32_t mid[256];
  uint16_t quad[10000];
  uint16_t last[2000];
  const uint16_t* sign[256];
  uint16_t pair;  // pd_pos | pd_neg << 8 the tables are for; 0 for none (all go to the general code)
};
extern MulTables mul_tables;
static_assert(offsetof(ComArea, pd_neg) == offsetof(ComArea, pd_pos) + 1, "the kernel reads the pair as one word");
// floor(n / 10^7) is the high half of n * kDiv7 shifted right 23, n < 2^54.
inline constexpr uint64_t kDiv7 = 0xD6BF94D5E57A42BDULL;

// a := a + b, b with the other sign for Sub, as add_short. r8 and r9 hold the
// values as big-endian words (digits in order, the sign in the low nibble),
// then the magnitudes da and db shifted down one nibble, so that a carry out
// of the 15th digit lands in bit 60. Same signs add the magnitudes as
// da + db + 6 in every digit, other signs take the smaller from the larger,
// both in binary on the nibble words; a digit of the sum that did not carry
// then holds 6 too many, a digit of the difference that borrowed got 16 for
// 10, and both give the 6 back.
template <bool Sub>
[[gnu::always_inline]] inline int add8x(void* a, const void* b) {
  __asm__ goto(
      "mov %[a], %%r8\n\t"
      "mov %[b], %%r9\n\t"
      "bswap %%r8\n\t"
      "bswap %%r9\n\t"
      "movzbl %[pos], %%esi\n\t"
      "movzbl %[neg], %%edi\n\t"
      ".if %c[sub]\n\t"
      "xor %%rsi, %%r9\n\t"            // the other sign nibble
      "xor %%rdi, %%r9\n\t"
      ".endif\n\t"
      // Both sign nibbles are pos or neg.
      "mov (%[tab],%%rsi,4), %%edx\n\t"
      "or (%[tab],%%rdi,4), %%edx\n\t"
      "mov %%r8d, %%edi\n\t"
      "and $15, %%edi\n\t"             // sa
      "mov %%r9d, %%ecx\n\t"
      "and $15, %%ecx\n\t"             // sb
      "test (%[tab],%%rdi,4), %%edx\n\t"
      "jz %l[fail]\n\t"
      "test (%[tab],%%rcx,4), %%edx\n\t"
      "jz %l[fail]\n\t"
      "shr $4, %%r8\n\t"               // da
      "shr $4, %%r9\n\t"               // db
      // A digit above 9 carries out of its nibble when 6 is added.
      "mov %[six], %%rdx\n\t"
      "lea (%%r8,%%rdx), %%rax\n\t"
      "add %%r9, %%rdx\n\t"            // db + 6s
      "xor %%r8, %%rax\n\t"
      "mov %%rdx, %%rsi\n\t"
      "xor %%r9, %%rsi\n\t"
      "or %%rsi, %%rax\n\t"
      "test %[car], %%rax\n\t"
      "jnz %l[fail]\n\t"
      "add %%r8, %%rdx\n\t"            // same signs: da + db + 6s
      "mov %%r9, %%rsi\n\t"
      "sub %%r8, %%rsi\n\t"
      "mov %%r8, %%rax\n\t"
      "sub %%r9, %%rax\n\t"
      "cmovb %%rsi, %%rax\n\t"         // other signs: |da - db|
      "mov %%rdi, %%rsi\n\t"
      "cmovb %%rcx, %%rsi\n\t"         // the larger magnitude's sign
      // The carry or borrow into nibble k is bit 4k of da ^ db ^ t (the
      // added sixes are even): the digits to fix are those bits, inverted
      // for a sum.
      "xor %%r9, %%r8\n\t"             // da ^ db
      "xor %%r9d, %%r9d\n\t"
      "cmp %%rcx, %%rdi\n\t"
      "cmove %%rdx, %%rax\n\t"         // t
      "cmove %[car], %%r9\n\t"         // a sum fixes the digits that did not carry
      "xor %%rax, %%r8\n\t"
      "xor %%r9, %%r8\n\t"
      "and %[car], %%r8\n\t"
      "lea (%%r8,%%r8,2), %%r8\n\t"
      "shr $3, %%r8\n\t"               // 6 in each nibble to fix
      "movzbl %[pos], %%edi\n\t"
      "sub %%r8, %%rax\n\t"            // r
      "cmovne %%rsi, %%rdi\n\t"        // zero is positive
      "shl $4, %%rax\n\t"
      "jc %l[fail]\n\t"                // bit 60: a 16th digit
      "or %%rdi, %%rax\n\t"
      "bswap %%rax\n\t"
      "mov %%rax, %[a]\n\t"
      : [a] "+m"(*static_cast<uint64_t*>(a))
      : [b] "m"(*static_cast<const uint64_t*>(b)),
        [pos] "m"(com.pd_pos), [neg] "m"(com.pd_neg), [six] "m"(kDigitSixes),
        [car] "m"(kDigitCarries), [tab] "r"(&kSignBits), [sub] "i"(Sub ? 1 : 0)
      : "cc", "rax", "rcx", "rdx", "rsi", "rdi", "r8", "r9"
      : fail);
  return 1;
fail:
  return 0;
}

// a := a * b on 8-byte values. Operands of at most 8 digits (the common case:
// a product of two larger ones never fits) are converted by three table
// lookups each, multiplied, and the product p cut into four groups of digits
// (p / 10^11, then four, four and three digits), which the quad and last
// tables turn into the bytes to store, the sign nibble with the last three
// digits. The one store comes after every check. Larger operands, a
// sign pair the tables are not for, and invalid operands go to mul8_wide.
[[gnu::always_inline]] inline int mul8x(void* a, const void* b) {
  uint8_t* pa = static_cast<uint8_t*>(a);
  const uint8_t* pb = static_cast<const uint8_t*>(b);
  __asm__ goto(
      // At most 8 digits: bytes 0-2 of both are zero (lead checks byte 3).
      "mov %[a0], %%eax\n\t"
      "or %[b0], %%eax\n\t"
      "test $0xFFFFFF, %%eax\n\t"
      "jnz %l[wide]\n\t"
      "movzwl %[pos], %%eax\n\t"       // pd_pos | pd_neg << 8
      "cmp %c[pair](%[tab]), %%ax\n\t"
      "jne %l[wide]\n\t"
      "movzwl %[a3], %%eax\n\t"
      "movzbl %[a5], %%ecx\n\t"
      "movzwl %[a6], %%edx\n\t"
      "mov (%[tab],%%rax,4), %%r8d\n\t"
      "add %c[mid](%[tab],%%rcx,4), %%r8d\n\t"
      "add %c[tail](%[tab],%%rdx,4), %%r8d\n\t"   // a
      "movzwl %[b3], %%eax\n\t"
      "movzbl %[b5], %%ecx\n\t"
      "movzwl %[b6], %%esi\n\t"
      "mov (%[tab],%%rax,4), %%eax\n\t"
      "add %c[mid](%[tab],%%rcx,4), %%eax\n\t"
      "add %c[tail](%[tab],%%rsi,4), %%eax\n\t"   // b
      "lea (%%r8,%%rax), %%rcx\n\t"
      "test $-0x20000000, %%rcx\n\t"
      "jnz %l[wide]\n\t"               // an invalid operand: the general code says so
      "xor %%edx, %%esi\n\t"
      "shr $8, %%esi\n\t"              // the xor of the last bytes
      "mov %c[sign](%[tab],%%rsi,8), %%rdi\n\t"
      "imul %%rax, %%r8\n\t"           // p, below 10^16
      "test %%r8, %%r8\n\t"
      "cmovz %[plus], %%rdi\n\t"       // zero is positive
      "mov %%r8, %%rax\n\t"
      "mulq %[div7]\n\t"
      "shr $23, %%rdx\n\t"             // q = p / 10^7
      "cmp $100000000, %%rdx\n\t"
      "jae %l[fail]\n\t"               // p >= 10^15: 16 digits
      "imul $10000000, %%rdx, %%rax\n\t"
      "sub %%rax, %%r8\n\t"            // r = p % 10^7
      "imul $109951163, %%rdx, %%rsi\n\t"
      "shr $40, %%rsi\n\t"             // q / 10^4 (exact for q < 4.9 10^8)
      "imul $10000, %%rsi, %%rax\n\t"
      "sub %%rax, %%rdx\n\t"           // q % 10^4
      "imul $0x10624DD3, %%r8, %%rcx\n\t"
      "shr $38, %%rcx\n\t"             // r / 1000 (exact for r < 2^32)
      "imul $1000, %%rcx, %%rax\n\t"
      "sub %%rax, %%r8\n\t"            // r % 1000
      "movzwl %c[quad](%[tab],%%rsi,2), %%esi\n\t"
      "movzwl %c[quad](%[tab],%%rdx,2), %%edx\n\t"
      "movzwl %c[quad](%[tab],%%rcx,2), %%ecx\n\t"
      "movzwl (%%rdi,%%r8,2), %%r8d\n\t"
      // One 8-byte store: a load of the whole value right after it (an add
      // of the product) takes it from the store, where four 2-byte stores
      // would make it wait for them to reach the cache.
      "shl $16, %%rdx\n\t"
      "shl $32, %%rcx\n\t"
      "shl $48, %%r8\n\t"
      "or %%rdx, %%rsi\n\t"
      "or %%rcx, %%r8\n\t"
      "or %%r8, %%rsi\n\t"
      "mov %%rsi, %[am]\n\t"
      : [am] "+m"(*static_cast<uint64_t*>(a))
      // Each byte operand only places an access; the first line declares the
      // value read and written whole, and bm the other operand.
      : [a0] "m"(pa[0]), [a3] "m"(pa[3]), [a5] "m"(pa[5]), [a6] "m"(pa[6]),
        [b0] "m"(pb[0]), [b3] "m"(pb[3]), [b5] "m"(pb[5]), [b6] "m"(pb[6]),
        [bm] "m"(*static_cast<const uint64_t*>(b)), [tab] "r"(&mul_tables),
        [plus] "r"(&mul_tables.last[0]), [pos] "m"(com.pd_pos), [pair] "i"(offsetof(MulTables, pair)),
        [mid] "i"(offsetof(MulTables, mid)), [tail] "i"(offsetof(MulTables, tail)),
        [sign] "i"(offsetof(MulTables, sign)), [quad] "i"(offsetof(MulTables, quad)), [div7] "m"(kDiv7)
      : "cc", "rax", "rcx", "rdx", "rsi", "rdi", "r8"
      : fail, wide);
  return 1;
fail:
  return 0;
wide:
  return mul8_wide(a, b);
}

// n < 10^15 with sign nibble `sign` as the 8 bytes to store (the word is
// their little-endian load): four groups of digits, cut by multiplies as in
// mul8x, each turned into its bytes by quad: fewer operations than
// bcd_mem's lanes.
inline uint64_t bcd_mem15(uint64_t n, uint64_t sign) {
  uint64_t q = uint64_t((u128(n) * kDiv7) >> 64) >> 23;  // n / 10^7
  uint64_t r = n - q * 10000000;
  uint64_t g1 = (q * 109951163) >> 40;  // q / 10^4 (exact for q < 4.9 10^8)
  uint64_t g3 = (r * 0x10624DD3) >> 38;  // r / 1000 (exact for r < 2^32)
  const uint16_t* quad = mul_tables.quad;
  return uint64_t(quad[g1]) | uint64_t(quad[q - g1 * 10000]) << 16 | uint64_t(quad[g3]) << 32 |
         uint64_t(quad[(r - g3 * 1000) * 10]) << 48 | sign << 56;
}
#endif

// n < 10^15 and a sign nibble as the 8 bytes to store.
inline uint64_t bcd_mem_signed(uint64_t n, uint64_t sign) {
#if defined(QUVO_PD_X86)
  return bcd_mem15(n, sign);
#else
  return bcd_mem(n * 10) | sign << 56;
#endif
}

// ------------------------------------------------- short values, 64 bits ---
// decode and encode for 1..8 bytes in one word, the value (at most 15
// digits) a signed 64-bit integer: nothing of 128 bits.
// Reads a packed value of len bytes (1..8); false as decode (a negative
// zero reads as 0).
inline bool decode64(const void* value, int len, int64_t& v) {
  uint64_t w = load_be(static_cast<const uint8_t*>(value), len), d = w >> 4;
  unsigned s = unsigned(w & 0xF);
  bool neg = s == com.pd_neg;
  int64_t m = int64_t(bcd_to_bin(d));
  v = neg ? -m : m;
  return digits_ok(d) & (neg | (s == com.pd_pos));
}
// Writes v (its magnitude below limit(len), len 1..8) as encode writes it:
// zero positive.
inline void encode64(void* value, int len, int64_t v) {
  uint64_t m = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  uint64_t raw = bcd_mem_signed(m, v < 0 ? com.pd_neg : com.pd_pos);
  store_be(static_cast<uint8_t*>(value), __builtin_bswap64(raw), len);
}

// ------------------------------------------------ moves of 1-8 bytes ---
// A value's word of up to 15 digits and its sign nibble (as load_be reads
// a value of 1..8 bytes) as a value of n digits (1..15) with k (0..15)
// more decimals: its digits k nibbles up, its sign nibble but for a zero,
// which is the positive one. The same bytes as decode, a multiply by 10^k
// and encode give (decimal nibbles shift as the number does), with no
// conversion. False, w unchanged, when the word is not a valid value or
// the result would have more than n digits.
inline bool rescale_up(uint64_t& w, int n, int k) {
  uint64_t d = w >> 4, s = w & 0xF;
  int room = 4 * (n - k);  // the bits the digits may take before the shift
  bool fits = room > 0 ? (d >> room) == 0 : d == 0;
  if (!fits || !digits_ok(d) || (s != com.pd_pos && s != com.pd_neg)) return false;
  w = d == 0 ? uint64_t(com.pd_pos) : (d << (4 * k)) << 4 | s;
  return true;
}
// rescale_up's counterpart for k (1 or more) fewer decimals: the digits k
// nibbles down, rounded half away from zero as pd_shft rounds (up by one
// when the first digit dropped is 5 or more), so that a zero is left
// positive.
inline bool rescale_down(uint64_t& w, int n, int k) {
  uint64_t d = w >> 4, s = w & 0xF, q = 0;
  if (!digits_ok(d) || (s != com.pd_pos && s != com.pd_neg)) return false;
  if (k <= 15)  // (past 15 every digit dropped and the first of them are zeros)
    q = bcd_add15(d >> (4 * k), 0, ((d >> (4 * k - 4)) & 0xF) >= 5 ? 1 : 0);
  if ((q >> (4 * n)) != 0) return false;
  w = q == 0 ? uint64_t(com.pd_pos) : q << 4 | s;
  return true;
}

// The 8-byte operations pd.h dispatches to.
template <bool Sub>
[[gnu::always_inline]] inline int add8(void* a, const void* b) {
#if defined(QUVO_PD_X86)
  return add8x<Sub>(a, b);
#else
  return add_short<Sub, true>(a, 8, b, 8);
#endif
}
[[gnu::always_inline]] inline int mul8_fast(void* a, const void* b) {
#if defined(QUVO_PD_X86)
  return mul8x(a, b);
#else
  return mul8_wide(a, b);
#endif
}

}  // namespace pacdec
