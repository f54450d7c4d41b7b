// Binary arithmetic through packed decimal: see binc.h.
#include "foundation/binc.h"

#include "foundation/pacdec.h"
#include "foundation/pd.h"

using namespace pacdec;

namespace {

constexpr int kWork = 16;  // work values: 31 digits hold any product of two words

// The 32-bit word of a field as a 16-byte packed value.
void to_packed(uint8_t* out, int32_t word, int kind) {
  if (kind == kBinUnsigned) {
    encode(out, kWork, uint32_t(word), false);
  } else {
    int64_t v = word;
    encode(out, kWork, u128(v < 0 ? -v : v), v < 0);
  }
}

// The value of a field's word.
i128 word_value(int32_t word, int kind) { return kind == kBinUnsigned ? i128(uint32_t(word)) : i128(word); }

// Stores a result in a's word: 0 when it does not fit a's kind.
int store(int32_t* a, i128 r, int kind_a) {
  if (kind_a == kBinUnsigned ? (r < 0 || r > 0xFFFFFFFFLL) : (r < INT32_MIN || r > INT32_MAX)) return 0;
  *a = int32_t(uint32_t(uint64_t(r)));
  return 1;
}

// a +- b, exact, then brought to a's scale. Aligning both words to the finer
// scale can need 41 digits, so it is done only where the result can tell:
//   - b finer by k digits: a * 10^k +- b rounded back to a's scale. A word is
//     below 2^32 < 10^11 / 2, so for k >= 11 b moves the sum by less than
//     half a unit of a's scale and the result is a itself.
//   - a finer by k digits: a +- b * 10^k, no rounding; for k >= 11 and b not
//     zero that passes every 32-bit range.
int add_exact(int32_t* a, int32_t b, bool sub, int scale_b, int kind_b, int scale_a, int kind_a) {
  i128 va = word_value(*a, kind_a), vb = word_value(b, kind_b);
  if (sub) vb = -vb;
  if (scale_b > scale_a) {
    int k = scale_b - scale_a;
    if (k >= 11) return store(a, va, kind_a);
    i128 p = i128(pow10(k));
    i128 sum = va * p + vb;
    i128 m = sum < 0 ? -sum : sum;
    i128 q = m / p;
    if (2 * (m % p) >= p) ++q;
    return store(a, sum < 0 ? -q : q, kind_a);
  }
  int k = scale_a - scale_b;
  if (vb != 0 && k >= 11) return 0;
  return store(a, va + vb * i128(pow10(k)), kind_a);
}

}  // namespace

int bin_math(int32_t* a, int32_t b, int op, int scale_b, int kind_b, int scale_a, int kind_a) {
  if (!a || op < kBinAdd || op > kBinCopy) return 0;
  if (scale_a < 0 || scale_a > kPdMaxDigits || scale_b < 0 || scale_b > kPdMaxDigits) return 0;
  if (op == kBinAdd || op == kBinSub) return add_exact(a, b, op == kBinSub, scale_b, kind_b, scale_a, kind_a);
  uint8_t pa[kWork], pb[kWork];
  to_packed(pa, *a, kind_a);
  to_packed(pb, b, kind_b);
  int ok = 1;
  switch (op) {
    case kBinMul:  // scale a + b, back to a's
      ok = pd_mul(pa, kWork, pb, kWork) && pd_shft(pa, kWork, -scale_b);
      break;
    case kBinDiv:  // a * 10^scale_b / b keeps a's scale
      ok = pd_div(pa, kWork, pb, kWork, scale_b, 1);
      break;
    case kBinCopy:
      std::memcpy(pa, pb, kWork);
      ok = pd_shft(pa, kWork, scale_a - scale_b);
      break;
  }
  if (!ok) return 0;
  u128 mag;
  bool neg;
  decode(pa, kWork, mag, neg);
  return store(a, neg ? -i128(mag) : i128(mag), kind_a);
}
