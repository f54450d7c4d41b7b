// Packed-decimal arithmetic: see pd.h for the contract.
//
// Additions and subtractions work on the decimal nibbles directly (one word
// for values of up to 8 bytes, in pacdec.h; two words here for longer ones).
// Everything else goes through exact binary magnitudes (128 bits hold 31
// digits and any product that can fit) and back. Overflow is decided on the
// exact result against the target's digit count, so a result is either exact
// or refused.
#include "foundation/pd.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/pacdec.h"

using namespace pacdec;

namespace {

inline bool short_len(int len) { return unsigned(len) - 1u < 8u; }

// A value of 1..16 bytes as two digit words: lo the last 15 digits, hi the
// ones before them (up to 16), and its sign nibble.
inline void load_wide(const void* v, int len, uint64_t& hi, uint64_t& lo, uint64_t& sign) {
  const uint8_t* p = static_cast<const uint8_t*>(v);
  uint64_t w = len <= 8 ? load_be(p, len) : load8(p + len - 8);
  hi = len <= 8 ? 0 : load_be(p, len - 8);
  lo = w >> 4;
  sign = w & 0xF;
}

// The same on values of up to 31 digits (any lengths, one of them over 8).
inline int add_wide(void* a, int alen, const void* b, int blen, bool subtract) {
  if (!len_ok(alen) || !len_ok(blen)) return 0;
  uint64_t ah, al, sa, bh, bl, sb;
  load_wide(a, alen, ah, al, sa);
  load_wide(b, blen, bh, bl, sb);
  uint64_t pos = com.pd_pos, negn = com.pd_neg;
  bool na = sa == negn, nb_raw = sb == negn;
  bool ok = digits_ok(ah) & digits_ok(al) & digits_ok(bh) & digits_ok(bl) & (na | (sa == pos)) &
            (nb_raw | (sb == pos));
  bool nb = nb_raw != subtract;
  uint64_t same = opaque(all_if(na == nb));
  uint64_t a_big = opaque(all_if((ah > bh) | ((ah == bh) & (al >= bl))));
  uint64_t xh = pick(a_big, ah, bh), xl = pick(a_big, al, bl);
  uint64_t sh = pick(a_big, bh, ah), sl = pick(a_big, bl, al);
  uint64_t yh = pick(same, sh, kNines16 - sh), yl = pick(same, sl, kNines15 - sl);
  uint64_t rl = bcd_add15(xl, yl, ~same & 1);
  uint64_t cout;
  uint64_t rh = bcd_add16(xh, yh, rl >> 60, &cout);
  rl &= kLow60;
  int digits = 2 * alen - 1;
  bool over = (cout & same) != 0;
  if (digits <= 15) over |= (rh != 0) | ((rl >> (4 * digits)) != 0);
  else if (digits < 31) over |= (rh >> (4 * (digits - 15))) != 0;
  uint64_t rneg = all_if(pick(same | a_big, na, nb) & ((rh | rl) != 0));
  uint64_t last = (rl << 4) | pick(rneg, negn, pos);
  if (!ok || over) return 0;
  uint8_t* p = static_cast<uint8_t*>(a);
  if (alen <= 8) {
    store_be(p, last, alen);
  } else {
    store8(p + alen - 8, last);
    store_be(p, rh, alen - 8);
  }
  return 1;
}

template <bool Sub>
inline int add_any(void* a, int alen, const void* b, int blen) {
  if ((alen == 8) & (blen == 8)) return add_short<Sub, true>(a, 8, b, 8);
  if (short_len(alen) & short_len(blen)) return add_short<Sub, false>(a, alen, b, blen);
  return add_wide(a, alen, b, blen, Sub);
}

// Signed comparison of two valid values held as magnitude and sign.
inline int cmp_signed(u128 ma, bool na, u128 mb, bool nb) {
  i128 va = na ? -i128(ma) : i128(ma);
  i128 vb = nb ? -i128(mb) : i128(mb);
  return (va > vb) - (va < vb);
}

// A value of 1..16 bytes as its digit nibbles (up to 31, the first digit in
// the highest used nibble) and whether its sign is the negative one; false
// for a bad length, a digit nibble above 9 or an unknown sign nibble: what
// decode reads, left in decimal. Setting, shifting and counting the digits
// of a value then need no conversion to binary and back.
inline bool load_digits(const void* v, int len, u128& d, bool& neg) {
  if (!len_ok(len)) return false;
  const uint8_t* p = static_cast<const uint8_t*>(v);
  u128 w = len <= 8 ? u128(load_be(p, len)) : u128(load_be(p, len - 8)) << 64 | load8(p + len - 8);
  unsigned s = unsigned(w & 0xF);
  d = w >> 4;
  neg = s == com.pd_neg;
  return digits_ok(uint64_t(d)) & digits_ok(uint64_t(d >> 64)) & (neg | (s == com.pd_pos));
}
// Writes digits that fit len bytes with the configured sign nibbles, zero
// positive (as encode does).
inline void store_digits(void* v, int len, u128 d, bool neg) {
  uint8_t* p = static_cast<uint8_t*>(v);
  u128 w = d << 4 | ((neg && d != 0) ? com.pd_neg : com.pd_pos);
  if (len <= 8) {
    store_be(p, uint64_t(w), len);
  } else {
    store8(p + len - 8, uint64_t(w));
    store_be(p, uint64_t(w >> 64), len - 8);
  }
}
// Digit nibbles d plus one (d below 10^31 - 1).
inline u128 digits_inc(u128 d) {
  int t = 0;
  while (((d >> (4 * t)) & 0xF) == 9) ++t;
  return ((d >> (4 * t)) + 1) << (4 * t);
}

// Shift in place by n digits; see pd_shft / pd_shftn. On the digit nibbles:
// up by n digits is n nibbles up, down by k is k nibbles down, rounded half
// away from zero by the first digit dropped.
int shift(void* value, int len, int n, bool round) {
  u128 d;
  bool neg;
  if (!load_digits(value, len, d, neg)) return 0;
  if (n == 0) return 1;
  int digits = 2 * len - 1;
  if (n > 0) {
    if (d != 0) {
      if (n >= digits || (d >> (4 * (digits - n))) != 0) return 0;
      d <<= 4 * n;
    }
  } else if (n < -31) {
    d = 0;  // every digit dropped; the first dropped one is a leading zero
  } else {
    int k = -n;
    bool up = round && ((d >> (4 * (k - 1))) & 0xF) >= 5;
    d >>= 4 * k;
    if (up) d = digits_inc(d);
  }
  store_digits(value, len, d, neg);
  return 1;
}

// Digits of the exact decimal expansion of a finite double (no sign), cut or
// rounded half away from zero to `scale` decimals, as an integer; false when
// it reaches 10^digits.
bool float_scaled(double x, int scale, int digits, u128& out) {
  // x = mi * 2^e exactly: a normal double's 52 stored bits and the implicit
  // one, read from its bits; a subnormal one (or zero) by frexp.
  uint64_t bits;
  std::memcpy(&bits, &x, 8);
  int e = int((bits >> 52) & 0x7FF);
  uint64_t mi;
  if (e != 0) {
    mi = (bits & ((uint64_t(1) << 52) - 1)) | uint64_t(1) << 52;
    e -= 1075;
  } else {
    double m = std::frexp(x, &e);  // x = m * 2^e, 0.5 <= m < 1
    mi = uint64_t(std::ldexp(m, 53));
    e -= 53;
  }
  if (scale <= 22) {
    u128 p = u128(mi) * u128(pow10(scale));  // < 2^53 * 2^74
    if (e >= 0) {
      if (e >= 128 || (p >> (127 - e)) != 0) return false;
      p <<= e;
    } else if (e < -127) {
      p = 0;  // below one half
    } else {
      int k = -e;
      bool half = (p >> (k - 1)) & 1;
      p = (p >> k) + (half ? 1 : 0);
    }
    if (p >= pow10(digits)) return false;
    out = p;
    return true;
  }
  // More decimals than the fast path holds: the exact expansion as text.
  if (x >= 1e40) return false;
  char buf[1200];
  std::snprintf(buf, sizeof buf, "%.1100f", x);
  u128 v = 0;
  int frac = -1;
  const char* p = buf;
  for (; *p; ++p) {
    if (*p == '.') {
      frac = 0;
      continue;
    }
    if (frac == scale) break;
    if (frac >= 0) ++frac;
    v = v * 10 + u128(*p - '0');
    if (v >= pow10(digits)) return false;
  }
  if (*p >= '5') ++v;  // the first dropped digit decides: half away from zero
  if (v >= pow10(digits)) return false;
  out = v;
  return true;
}

}  // namespace

int pacdec::add_n(void* a, int alen, const void* b, int blen) { return add_any<false>(a, alen, b, blen); }

int pacdec::sub_n(void* a, int alen, const void* b, int blen) { return add_any<true>(a, alen, b, blen); }

#if defined(QUVO_PD_X86)
pacdec::MulTables pacdec::mul_tables;

namespace {

// The digits of a byte of two digit nibbles, -1 for another byte.
int byte_value(unsigned b) {
  unsigned hi = b >> 4, lo = b & 15;
  return hi < 10 && lo < 10 ? int(10 * hi + lo) : -1;
}

// Packed bytes of three digits and a sign nibble, first byte in the low half.
uint16_t last_bytes(unsigned g, unsigned sign) {
  return uint16_t((g / 100) << 4 | (g / 10 % 10) | ((g % 10) << 4 | sign) << 8);
}

// Fills the tables for a usable pair (pos | neg << 8), or with pair 0 for
// none: every last byte is then invalid to them, so each multiply takes the
// general code, whatever the common block holds.
void fill_mul_tables(uint16_t pair) {
  MulTables& t = mul_tables;
  static bool common_parts;  // the ones that do not depend on the pair
  if (!common_parts) {
    for (unsigned i = 0; i < 65536; ++i) {
      unsigned b3 = i & 255;
      int v4 = byte_value(i >> 8);
      t.lead[i] = b3 <= 9 && v4 >= 0 ? b3 * 10000000u + unsigned(v4) * 100000u : kMulBad;
    }
    for (unsigned b = 0; b < 256; ++b) {
      int v = byte_value(b);
      t.mid[b] = v >= 0 ? unsigned(v) * 1000u : kMulBad;
    }
    for (unsigned g = 0; g < 10000; ++g)
      t.quad[g] = uint16_t((g / 1000) << 4 | (g / 100 % 10) | ((g / 10 % 10) << 4 | (g % 10)) << 8);
    common_parts = true;
  }
  unsigned pos = pair & 0xFF, neg = pair >> 8;
  uint32_t last_digit[256];  // a last byte to its digit, or kMulBad
  for (unsigned b = 0; b < 256; ++b) {
    unsigned hi = b >> 4, lo = b & 15;
    last_digit[b] = pair != 0 && hi < 10 && (lo == pos || lo == neg) ? hi : kMulBad;
  }
  for (unsigned b = 0; b < 256; ++b) t.sign[b] = &t.last[(b & 15) == 0 ? 0 : 1000];
  for (unsigned i = 0; i < 65536; ++i) {
    int v6 = byte_value(i & 255);
    t.tail[i] = v6 >= 0 ? unsigned(v6) * 10u + last_digit[i >> 8] : kMulBad;
  }
  for (unsigned g = 0; g < 1000; ++g) {
    t.last[g] = last_bytes(g, pos);
    t.last[g + 1000] = last_bytes(g, neg);
  }
  t.pair = pair;
}

// Until the common block is set up (it reads as pair 0 then), no pair.
[[maybe_unused]] const bool mul_tables_set = (fill_mul_tables(0), true);

// A sign pair the tables are not for sends every multiply here. When one pair
// has stayed for kRefill of them in a row, the tables are filled for it; a
// caller that switches pairs often keeps the general code.
constexpr int kRefill = 64;
uint16_t pending_pair;
int pending_count;

// The common block's pair, 0 when no tables can be for it (the kernel reads
// nibbles, and one nibble cannot be both signs).
uint16_t usable_pair() {
  if ((com.pd_pos | com.pd_neg) > 15 || com.pd_pos == com.pd_neg) return 0;
  return uint16_t(com.pd_pos | com.pd_neg << 8);
}

void note_pair() {
  uint16_t pair = usable_pair();
  if (pair == 0 || pair == mul_tables.pair) return;
  if (pair != pending_pair) {
    pending_pair = pair;
    pending_count = 0;
  }
  if (++pending_count >= kRefill) fill_mul_tables(pair);
}

}  // namespace
#endif

void pd_signs_changed() {
#if defined(QUVO_PD_X86)
  uint16_t pair = usable_pair();
  if (pair != mul_tables.pair) fill_mul_tables(pair);
#endif
}

int pacdec::mul8_wide(void* a, const void* b) {
#if defined(QUVO_PD_X86)
  note_pair();
#endif
#if defined(__SSE2__)
  return mul8(a, b);
#else
  return mul_n(a, 8, b, 8);
#endif
}

int pacdec::mul_n(void* a, int alen, const void* b, int blen) {
  u128 ma = 0, mb = 0;
  bool na = false, nb = false;
  if (!decode(a, alen, ma, na) || !decode(b, blen, mb, nb)) return 0;
  u128 p;
  if (__builtin_mul_overflow(ma, mb, &p) || p >= limit(alen)) return 0;
  encode(a, alen, p, na != nb);
  return 1;
}

int pd_div(void* a, int alen, const void* b, int blen, int scale, int round) {
  u128 ma, mb;
  bool na, nb;
  if (scale < 0 || scale > kPdMaxDigits) return 0;
  if (!decode(a, alen, ma, na) || !decode(b, blen, mb, nb) || mb == 0) return 0;
  u128 q, r;
  if (digit_count(ma) + scale <= 38) {
    u128 n = ma * pow10(scale);
    q = n / mb;
    r = n % mb;
  } else {
    // Long division, one decimal at a time: r < b < 10^31, so 10 r fits.
    q = ma / mb;
    r = ma % mb;
    for (int i = 0; i < scale; ++i) {
      if (q >= limit(alen)) return 0;
      r *= 10;
      q = q * 10 + r / mb;
      r %= mb;
    }
  }
  if (round && 2 * r >= mb) ++q;
  if (q >= limit(alen)) return 0;
  encode(a, alen, q, na != nb);
  return 1;
}

int pd_set(void* target, int tlen, const void* source, int slen) {
  u128 d;
  bool neg;
  if (!len_ok(tlen) || !load_digits(source, slen, d, neg) || (d >> (4 * (2 * tlen - 1))) != 0) return 0;
  store_digits(target, tlen, d, neg);
  return 1;
}

int pacdec::cmp_n(const void* a, int alen, const void* b, int blen) {
  if (short_len(alen) & short_len(blen)) return cmp_short(a, alen, b, blen);
  u128 ma, mb;
  bool na, nb;
  if (!decode(a, alen, ma, na) || !decode(b, blen, mb, nb)) return kPdCmpInvalid;
  return cmp_signed(ma, na, mb, nb);
}

int pd_shft(void* value, int length, int n) { return shift(value, length, n, true); }

int pd_shftn(void* value, int length, int n) { return shift(value, length, n, false); }

int pd_cvp(void* target, int length, int32_t value) {
  bool neg = value < 0;
  u128 mag = neg ? u128(-int64_t(value)) : u128(value);
  if (!len_ok(length) || mag >= limit(length)) return 0;
  encode(target, length, mag, neg);
  return 1;
}

int32_t pd_cvb(const void* value, int length, bool* ok) {
  u128 mag;
  bool neg;
  bool good = decode(value, length, mag, neg) && mag <= (neg ? u128(1) << 31 : (u128(1) << 31) - 1);
  if (ok) *ok = good;
  if (!good) return 0;
  return int32_t(neg ? -int64_t(mag) : int64_t(mag));
}

int pd_cvp_u32(void* target, int length, uint32_t value) {
  if (!len_ok(length) || u128(value) >= limit(length)) return 0;
  encode(target, length, u128(value), false);
  return 1;
}

uint32_t pd_cvb_u32(const void* value, int length, bool* ok) {
  u128 mag;
  bool neg;
  bool good = decode(value, length, mag, neg) && (!neg || mag == 0) && mag <= 0xFFFFFFFFu;
  if (ok) *ok = good;
  return good ? uint32_t(mag) : 0;
}

int pd_cvp64(void* target, int length, int64_t value) {
  bool neg = value < 0;
  u128 mag = neg ? u128(uint64_t(0) - uint64_t(value)) : u128(uint64_t(value));
  if (!len_ok(length) || mag >= limit(length)) return 0;
  encode(target, length, mag, neg);
  return 1;
}

int64_t pd_cvb64(const void* value, int length, bool* ok) {
  u128 mag;
  bool neg;
  u128 top = u128(1) << 63;
  bool good = decode(value, length, mag, neg) && mag <= (neg ? top : top - 1);
  if (ok) *ok = good;
  if (!good) return 0;
  return neg ? int64_t(uint64_t(0) - uint64_t(mag)) : int64_t(uint64_t(mag));
}

int pd_narrow8(void* target, const void* wide) {
  const auto* w = static_cast<const uint8_t*>(wide);
  uint64_t hi, lo;
  std::memcpy(&hi, w, 8);
  std::memcpy(&lo, w + 8, 7);  // every digit byte of the low half but the sign's
  if (hi != 0 || !pd_vfy(w + 8, 8, 15)) return pd_set(target, 8, wide, 16);
  uint8_t out[8];
  std::memcpy(out, w + 8, 8);
  lo &= 0x00FFFFFFFFFFFFFFull;
  if (lo == 0 && (out[7] >> 4) == 0) out[7] = uint8_t(com.pd_pos);  // the positive zero
  std::memcpy(target, out, 8);
  return 1;
}

int pd_vfy(const void* value, int length, int digits) {
  if (!value || !len_ok(length)) return 0;
  const auto* p = static_cast<const uint8_t*>(value);
  unsigned sign = p[length - 1] & 0xF;
  if (sign != com.pd_pos && sign != com.pd_neg) return 0;
  if (digits % 2 == 0 && (p[0] >> 4) != 0) return 0;
  for (int i = 0; i < length; ++i) {
    if ((p[i] >> 4) > 9) return 0;
    if (i < length - 1 && (p[i] & 0xF) > 9) return 0;
  }
  return 1;
}

int pd_cva(const char* text, int length, char point, PdCva* out) {
  if (!out || !text || length < 0 || !len_ok(out->len)) return 0;
  int i = 0, end = length;
  while (i < end && text[i] == ' ') ++i;
  while (end > i && text[end - 1] == ' ') --end;
  bool neg = false, sign = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) {
    neg = text[i] == '-';
    sign = true;
    ++i;
  } else if (i < end && (text[end - 1] == '+' || text[end - 1] == '-')) {
    neg = text[end - 1] == '-';
    sign = true;
    --end;
  }
  u128 d = 0;  // the significant digits as nibbles
  int digits = 0, sig = 0, scale = -1;
  for (; i < end; ++i) {
    char c = text[i];
    if (c == point && scale < 0) {
      scale = 0;
      continue;
    }
    if (c < '0' || c > '9') return 0;
    ++digits;
    if (scale >= 0 && ++scale > kPdMaxDigits) return 0;
    if (d != 0 || c != '0') {
      if (++sig > kPdMaxDigits) return 0;
      d = d << 4 | u128(c - '0');
    }
  }
  if (digits == 0 && (sign || scale >= 0)) return 0;  // a lone sign or point
  if (sig > 2 * out->len - 1) return 0;
  store_digits(out->buf, out->len, d, neg);
  out->scale = scale < 0 ? 0 : scale;
  return 1;
}

int32_t pd_var_bin(const void* var) {
  u128 mag;
  bool neg;
  if (!decode(var, 8, mag, neg)) return 0;
  // 15 digits at most: 64 bits, anything past 2^32 taken as 2^32.
  constexpr uint64_t kPast = uint64_t(1) << 32;
  uint64_t m = uint64_t(mag);
  int scale = int8_t(static_cast<const uint8_t*>(var)[8]);
  if (m == 0 || scale > 15) {  // (below 10^15: no integer part past 15 decimals)
    m = 0;
  } else if (scale > 0) {
    m /= uint64_t(pow10(scale));
  } else if (scale < -10) {
    m = kPast;  // 11 digits or more: beyond the int32 range
  } else if (scale < 0) {
    uint64_t p = uint64_t(pow10(-scale));
    m = m > kPast / p ? kPast : m * p;
  }
  if (neg) return m >= (uint64_t(1) << 31) ? INT32_MIN : int32_t(-int64_t(m));
  return m > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(m);
}

int SIG_DIGITS(const void* value, int length, int* count) {
  u128 d;
  bool neg;
  int c = -1;
  if (load_digits(value, length, d, neg)) {
    uint64_t hi = uint64_t(d >> 64), lo = uint64_t(d);
    c = hi ? 16 + (63 - __builtin_clzll(hi)) / 4 + 1 : lo ? (63 - __builtin_clzll(lo)) / 4 + 1 : 0;
  }
  if (count) *count = c;
  return c;
}

double pd_to_float(const PdFloat* block) {
  u128 mag;
  bool neg;
  if (!block || block->scale < -kPdMaxDigits || block->scale > kPdMaxDigits ||
      !decode(block->value, block->length, mag, neg))
    return std::nan("");
  return pd_bin_to_float(mag, neg, block->scale);
}

double pd_bin_to_float(u128 mag, bool neg, int scale) {
  if (scale == 0 && mag < (u128(1) << 53)) return neg ? -double(uint64_t(mag)) : double(uint64_t(mag));  // exact
  if (scale < -kPdMaxDigits || scale > kPdMaxDigits || mag >= pow10(kPdMaxDigits)) return std::nan("");
  static const double kExact[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  int s = scale;
  double v;
  if (mag < (u128(1) << 53) && s >= -22 && s <= 22) {
    // Both operands exact, so one correctly rounded operation.
    v = s >= 0 ? double(uint64_t(mag)) / kExact[s] : double(uint64_t(mag)) * kExact[-s];
  } else {
    // The decimal text, read back correctly rounded.
    char buf[48];
    int n = 0;
    char digits[40];
    int nd = 0;
    u128 m = mag;
    do {
      digits[nd++] = char('0' + int(m % 10));
      m /= 10;
    } while (m);
    while (nd) buf[n++] = digits[--nd];
    std::snprintf(buf + n, sizeof buf - size_t(n), "e%d", -s);
    v = std::strtod(buf, nullptr);
  }
  return neg ? -v : v;
}

int pd_from_float(const PdFloat* block, double x) {
  if (!block || !len_ok(block->length) || block->scale < 0 || block->scale > kPdMaxDigits ||
      !std::isfinite(x))
    return 0;
  u128 mag;
  if (!float_scaled(std::fabs(x), block->scale, 2 * block->length - 1, mag)) return 0;
  encode(block->value, block->length, mag, std::signbit(x));
  return 1;
}

bool pd_bin_from_float(double x, int scale, int digits, u128* mag) {
  if (scale < 0 || scale > kPdMaxDigits || digits < 1 || digits > kPdMaxDigits || !std::isfinite(x)) return false;
  return float_scaled(std::fabs(x), scale, digits, *mag);
}
