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

}  // namespace

int bin_math(int32_t* a, int32_t b, int op, int scale_b, int kind_b, int scale_a, int kind_a) {
  if (!a || op < kBinAdd || op > kBinCopy) return 0;
  if (scale_a < 0 || scale_a > kPdMaxDigits || scale_b < 0 || scale_b > kPdMaxDigits) return 0;
  uint8_t pa[kWork], pb[kWork];
  to_packed(pa, *a, kind_a);
  to_packed(pb, b, kind_b);
  int ok = 1;
  switch (op) {
    case kBinAdd:
    case kBinSub: {
      // Both at the larger scale, exactly; then back to a's scale.
      int s = scale_a > scale_b ? scale_a : scale_b;
      ok = pd_shft(pa, kWork, s - scale_a) && pd_shft(pb, kWork, s - scale_b) &&
           (op == kBinAdd ? pd_add(pa, kWork, pb, kWork) : pd_sub(pa, kWork, pb, kWork)) &&
           pd_shft(pa, kWork, scale_a - s);
      break;
    }
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
  if (kind_a == kBinUnsigned) {
    if ((neg && mag != 0) || mag > 0xFFFFFFFFu) return 0;
    *a = int32_t(uint32_t(mag));
  } else {
    if (mag > (neg ? u128(1) << 31 : (u128(1) << 31) - 1)) return 0;
    *a = int32_t(neg ? -int64_t(mag) : int64_t(mag));
  }
  return 1;
}
