// Packed-decimal arithmetic: see pd.h for the contract.
//
// Values of up to 8 bytes are added, subtracted and compared in their decimal
// nibbles directly (pacdec.h); everything else goes through exact binary
// magnitudes (128 bits hold 31 digits and any sum of two) and back. Overflow
// is decided on the exact result against the target's digit count, so a
// result is either exact or refused.
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

// a := a + b (b negated when subtract), both of 1..8 bytes.
inline int add_short(void* av, int alen, const void* bv, int blen, bool subtract) {
  uint8_t* a = static_cast<uint8_t*>(av);
  uint64_t wa = load_be(a, alen), wb = load_be(static_cast<const uint8_t*>(bv), blen);
  unsigned pos = com.pd_pos, negn = com.pd_neg;
  unsigned sa = unsigned(wa & 0xF), sb = unsigned(wb & 0xF);
  uint64_t da = wa >> 4, db = wb >> 4;
  bool na = sa == negn, nb_raw = sb == negn;
  bool ok = digits_ok(da) & digits_ok(db) & (na | (sa == pos)) & (nb_raw | (sb == pos));
  bool nb = nb_raw != subtract;
  // Same signs add the magnitudes; different signs take the smaller from the
  // larger and keep the larger one's sign. Both are computed, one is kept.
  bool a_big = da >= db;
  uint64_t big = a_big ? da : db, small = a_big ? db : da;
  uint64_t sum = bcd_add(da, db), diff = bcd_sub(big, small);
  bool same = na == nb;
  uint64_t r = same ? sum : diff;
  bool rneg = (same | a_big) ? na : nb;
  ok &= (r >> (4 * (2 * alen - 1))) == 0;
  if (!ok) return 0;
  store_be(a, (r << 4) | ((rneg & (r != 0)) ? negn : pos), alen);
  return 1;
}

inline int add_long(void* a, int alen, const void* b, int blen, bool subtract) {
  u128 ma, mb;
  bool na, nb;
  if (!decode(a, alen, ma, na) || !decode(b, blen, mb, nb)) return 0;
  nb = nb != subtract;
  u128 mag;
  bool neg;
  if (na == nb) {
    mag = ma + mb;
    neg = na;
  } else if (ma >= mb) {
    mag = ma - mb;
    neg = na;
  } else {
    mag = mb - ma;
    neg = nb;
  }
  if (mag >= limit(alen)) return 0;
  encode(a, alen, mag, neg);
  return 1;
}

inline int add_any(void* a, int alen, const void* b, int blen, bool subtract) {
  if (short_len(alen) & short_len(blen)) return add_short(a, alen, b, blen, subtract);
  return add_long(a, alen, b, blen, subtract);
}

// Signed comparison of two valid values held as magnitude and sign.
inline int cmp_signed(u128 ma, bool na, u128 mb, bool nb) {
  i128 va = na ? -i128(ma) : i128(ma);
  i128 vb = nb ? -i128(mb) : i128(mb);
  return (va > vb) - (va < vb);
}

inline int cmp_short(const void* a, int alen, const void* b, int blen) {
  uint64_t wa = load_be(static_cast<const uint8_t*>(a), alen);
  uint64_t wb = load_be(static_cast<const uint8_t*>(b), blen);
  unsigned pos = com.pd_pos, negn = com.pd_neg;
  unsigned sa = unsigned(wa & 0xF), sb = unsigned(wb & 0xF);
  uint64_t da = wa >> 4, db = wb >> 4;
  bool na = sa == negn, nb = sb == negn;
  bool ok = digits_ok(da) & digits_ok(db) & (na | (sa == pos)) & (nb | (sb == pos));
  if (!ok) return kPdCmpInvalid;
  // Decimal nibbles order like their values, so the words compare directly.
  int64_t va = na ? -int64_t(da) : int64_t(da);
  int64_t vb = nb ? -int64_t(db) : int64_t(db);
  return (va > vb) - (va < vb);
}

// Shift in place by n digits; see pd_shft / pd_shftn.
int shift(void* value, int len, int n, bool round) {
  u128 mag;
  bool neg;
  if (!decode(value, len, mag, neg)) return 0;
  if (n == 0) return 1;
  int digits = 2 * len - 1;
  if (n > 0) {
    if (mag != 0) {
      if (n >= digits || mag >= pow10(digits - n)) return 0;
      mag *= pow10(n);
    }
  } else if (n < -38) {
    mag = 0;  // every digit dropped; the first dropped one is a leading zero
  } else {
    u128 d = pow10(-n);
    u128 q = mag / d, r = mag % d;
    if (round && 2 * r >= d) ++q;
    mag = q;
  }
  encode(value, len, mag, neg);
  return 1;
}

// Digits of the exact decimal expansion of a finite double (no sign), cut or
// rounded half away from zero to `scale` decimals, as an integer; false when
// it reaches 10^digits.
bool float_scaled(double x, int scale, int digits, u128& out) {
  int e;
  double m = std::frexp(x, &e);  // x = m * 2^e, 0.5 <= m < 1
  uint64_t mi = uint64_t(std::ldexp(m, 53));
  e -= 53;                        // x = mi * 2^e exactly
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

int pd_add(void* a, int alen, const void* b, int blen) { return add_any(a, alen, b, blen, false); }

int pd_sub(void* a, int alen, const void* b, int blen) { return add_any(a, alen, b, blen, true); }

int pd_mul(void* a, int alen, const void* b, int blen) {
  u128 ma = 0, mb = 0;
  bool na = false, nb = false;
  bool ok = decode(a, alen, ma, na) & decode(b, blen, mb, nb);
  if (short_len(alen) & short_len(blen)) {
    // Both below 10^15: a 64-bit product, or an overflow it cannot fit.
    uint64_t p;
    bool over = __builtin_mul_overflow(uint64_t(ma), uint64_t(mb), &p);
    if (!ok | over | (p >= uint64_t(limit(alen)))) return 0;
    store_be(static_cast<uint8_t*>(a),
             (bin_to_bcd(p) << 4) | (((na != nb) & (p != 0)) ? com.pd_neg : com.pd_pos), alen);
    return 1;
  }
  if (!ok) return 0;
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
  u128 mag;
  bool neg;
  if (!len_ok(tlen) || !decode(source, slen, mag, neg) || mag >= limit(tlen)) return 0;
  encode(target, tlen, mag, neg);
  return 1;
}

int pd_cmp(const void* a, int alen, const void* b, int blen) {
  if (short_len(alen) & short_len(blen)) return cmp_short(a, alen, b, blen);
  u128 ma, mb;
  bool na, nb;
  if (!decode(a, alen, ma, na) || !decode(b, blen, mb, nb)) return kPdCmpInvalid;
  return cmp_signed(ma, na, mb, nb);
}

int pd_fast_add(void* a, const void* b) { return add_short(a, 8, b, 8, false); }

int pd_fast_sub(void* a, const void* b) { return add_short(a, 8, b, 8, true); }

int pd_fast_cmp(const void* a, const void* b) { return cmp_short(a, 8, b, 8); }

void pd_fast_set(void* target, const void* source) { std::memmove(target, source, 8); }

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
  u128 mag = 0;
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
    if (mag != 0 || c != '0') {
      if (++sig > kPdMaxDigits) return 0;
      mag = mag * 10 + u128(c - '0');
    }
  }
  if (digits == 0 && (sign || scale >= 0)) return 0;  // a lone sign or point
  if (mag >= limit(out->len)) return 0;
  encode(out->buf, out->len, mag, neg);
  out->scale = scale < 0 ? 0 : scale;
  return 1;
}

int32_t pd_var_bin(const void* var) {
  u128 mag;
  bool neg;
  if (!decode(var, 8, mag, neg)) return 0;
  int scale = int8_t(static_cast<const uint8_t*>(var)[8]);
  if (scale > 38) {
    mag = 0;
  } else if (scale > 0) {
    mag /= pow10(scale);
  } else if (scale < 0) {
    // Held to the int32 range: anything of 11 digits or more is beyond it.
    mag = (scale < -10 && mag) ? u128(1) << 32 : mag * pow10(-scale);
  }
  if (neg) return mag >= (u128(1) << 31) ? INT32_MIN : int32_t(-int64_t(mag));
  return mag > INT32_MAX ? INT32_MAX : int32_t(mag);
}

int SIG_DIGITS(const void* value, int length, int* count) {
  u128 mag;
  bool neg;
  int c = decode(value, length, mag, neg) ? digit_count(mag) : -1;
  if (count) *count = c;
  return c;
}

double pd_to_float(const PdFloat* block) {
  u128 mag;
  bool neg;
  if (!block || block->scale < -kPdMaxDigits || block->scale > kPdMaxDigits ||
      !decode(block->value, block->length, mag, neg))
    return std::nan("");
  static const double kExact[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  int s = block->scale;
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
