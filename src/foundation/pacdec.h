// Packed-decimal codec: the conversions between packed bytes and binary that
// the arithmetic in pd.cpp and binc.cpp is built on.
//
// A packed value of n bytes is read as one big-endian word (two for n > 8), so
// its digit nibbles are in order and can be checked and converted a whole word
// at a time (SIMD within a register): no loop over digits, no branch per digit.
// Magnitudes are unsigned 128-bit integers (31 digits need 103 bits).
#pragma once

#include <cstdint>
#include <cstring>

#include "foundation/bi.h"

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
// The n bytes (1..8) at p as a big-endian number.
inline uint64_t load_be(const uint8_t* p, int n) {
  if (n == 8) return load8(p);
  uint8_t b[8] = {};
  std::memcpy(b + 8 - n, p, size_t(n));
  return load8(b);
}
// The low n bytes (1..8) of w, big-endian, at p.
inline void store_be(uint8_t* p, uint64_t w, int n) {
  if (n == 8) return store8(p, w);
  uint8_t b[8];
  store8(b, w);
  std::memcpy(p, b + 8 - n, size_t(n));
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

// Two 32-bit lanes, each below 10^4, to 8 decimal nibbles (hi lane first).
inline uint32_t bcd_lanes(uint64_t x) {
  uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007FULL;  // lane / 100
  x = (q << 16) | (x - q * 100);                              // 16-bit lanes < 100
  q = ((x * 103) >> 10) & 0x000F000F000F000FULL;              // lane / 10
  x = (q << 4) | (x - q * 10);                                // low byte of each = 2 nibbles
  x = (x | (x >> 8)) & 0x0000FFFF0000FFFFULL;
  return uint32_t(x | (x >> 16));
}

// n < 10^16 to 16 decimal nibbles.
inline uint64_t bin_to_bcd(uint64_t n) {
  uint32_t hi = uint32_t(n / 100000000ULL), lo = uint32_t(n % 100000000ULL);
  uint64_t h = (uint64_t(hi / 10000) << 32) | (hi % 10000);
  uint64_t l = (uint64_t(lo / 10000) << 32) | (lo % 10000);
  return (uint64_t(bcd_lanes(h)) << 32) | bcd_lanes(l);
}

// Decimal nibble words added and subtracted without converting: the six
// unused codes of each nibble are skipped by adding 6 up front and taking it
// back from the nibbles that did not carry. Digits in the low 60 bits (15
// digits); a carry out of the 15th digit shows in bit 60.
inline uint64_t bcd_add(uint64_t a, uint64_t b) {
  uint64_t t1 = a + 0x0666666666666666ULL;
  uint64_t t2 = t1 + b;
  uint64_t carries = t2 ^ t1 ^ b;
  uint64_t fix = ~carries & 0x1111111111111110ULL;
  return t2 - ((fix >> 2) | (fix >> 3));
}
// a - b for a >= b.
inline uint64_t bcd_sub(uint64_t a, uint64_t b) {
  uint64_t t = a - b;
  uint64_t borrows = (a ^ b ^ t) & 0x1111111111111110ULL;
  return t - ((borrows >> 2) | (borrows >> 3));
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
  store8(p + len - 8, (bin_to_bcd(lo) << 4) | sign);
  store_be(p, bin_to_bcd(hi), len - 8);
}

inline bool len_ok(int len) { return len >= 1 && len <= 16; }

}  // namespace pacdec
