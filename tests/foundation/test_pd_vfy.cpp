// The packed validity check of VERIFY and the unsigned 32-bit and 64-bit
// conversions, against 128-bit integers.
#include <gtest/gtest.h>

#include <random>

#include "foundation/bi.h"
#include "foundation/pd.h"

namespace {

using i128 = __int128;

void encode(uint8_t* p, int len, i128 v) {
  bool neg = v < 0;
  unsigned __int128 m = neg ? (unsigned __int128)(-v) : (unsigned __int128)v;
  p[len - 1] = uint8_t((m % 10) << 4 | (neg ? 0xD : 0xC));
  m /= 10;
  for (int i = len - 2; i >= 0; --i) {
    p[i] = uint8_t(m % 10);
    m /= 10;
    p[i] |= uint8_t((m % 10) << 4);
    m /= 10;
  }
}

class PdExt : public ::testing::Test {
 protected:
  void SetUp() override { bi_init_com(); }
};

TEST_F(PdExt, UnsignedAndWideConversionsMatch128Bits) {
  std::mt19937_64 rng(7);
  const int64_t edges[] = {0, 1, -1, INT32_MAX, int64_t(INT32_MAX) + 1, INT32_MIN, int64_t(INT32_MIN) - 1,
                           4294967295LL, 4294967296LL, INT64_MAX, INT64_MIN, 999999999999999LL, -999999999999999LL};
  for (int i = 0; i < 200000; ++i) {
    int64_t v = i < 13 ? edges[i] : int64_t(rng()) >> (rng() % 64);
    for (int len : {1, 3, 5, 8, 10, 16}) {
      uint8_t p[16];
      i128 lim = 1;
      for (int d = 0; d < 2 * len - 1; ++d) lim *= 10;
      bool fits = i128(v) < lim && -i128(v) < lim;
      ASSERT_EQ(pd_cvp64(p, len, v), fits ? 1 : 0) << v << " " << len;
      if (fits) {
        uint8_t q[16];
        encode(q, len, v);
        ASSERT_EQ(std::memcmp(p, q, size_t(len)), 0) << v;
        bool ok = false;
        ASSERT_EQ(pd_cvb64(p, len, &ok), v);
        ASSERT_TRUE(ok);
        bool in_u32 = v >= 0 && v <= 4294967295LL;
        uint32_t u = pd_cvb_u32(p, len, &ok);
        ASSERT_EQ(ok, in_u32) << v;
        if (in_u32) {
          ASSERT_EQ(u, uint32_t(v));
        }
      }
      if (v >= 0 && v <= 4294967295LL) {
        bool fits_u = i128(v) < lim;
        ASSERT_EQ(pd_cvp_u32(p, len, uint32_t(v)), fits_u ? 1 : 0);
        if (fits_u) {
          ASSERT_EQ(pd_cvb64(p, len), v);
        }
      }
    }
  }
  // Beyond 64 bits.
  uint8_t big[16];
  encode(big, 16, i128(INT64_MAX) + 1);
  bool ok = true;
  EXPECT_EQ(pd_cvb64(big, 16, &ok), 0);
  EXPECT_FALSE(ok);
  encode(big, 16, -(i128(INT64_MAX) + 1));
  EXPECT_EQ(pd_cvb64(big, 16, &ok), INT64_MIN);
  EXPECT_TRUE(ok);
  encode(big, 16, -(i128(INT64_MAX) + 2));  // one below INT64_MIN
  EXPECT_EQ(pd_cvb64(big, 16, &ok), 0);
  EXPECT_FALSE(ok);
  // A negative zero is no obstacle to unsigned.
  uint8_t z[2] = {0x00, 0x0D};
  EXPECT_EQ(pd_cvb_u32(z, 2, &ok), 0u);
  EXPECT_TRUE(ok);
}

TEST_F(PdExt, VerifyRuleOnEveryTwoByteValue) {
  // Every 2-byte pattern against the rule restated: sign nibble C or D,
  // digit nibbles 0-9, first nibble 0 for an even digit count.
  for (int digits : {2, 3}) {
    for (int w = 0; w < 65536; ++w) {
      uint8_t p[2] = {uint8_t(w >> 8), uint8_t(w)};
      int n0 = p[0] >> 4, n1 = p[0] & 15, n2 = p[1] >> 4, sign = p[1] & 15;
      bool want = (sign == 0xC || sign == 0xD) && n0 <= 9 && n1 <= 9 && n2 <= 9 && (digits % 2 || n0 == 0);
      ASSERT_EQ(pd_vfy(p, 2, digits), want ? 1 : 0) << std::hex << w << " " << digits;
    }
  }
  uint8_t p[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0x01, 0x23, 0x4C};
  EXPECT_EQ(pd_vfy(p, 8, 15), 1);
  p[3] = 0x6A;  // a digit nibble of 10
  EXPECT_EQ(pd_vfy(p, 8, 15), 0);
  EXPECT_EQ(pd_vfy(p, 0, 1), 0);
  EXPECT_EQ(pd_vfy(p, 17, 1), 0);
}

}  // namespace

namespace {

TEST_F(PdExt, WidenAndNarrowAgreeWithSet) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 100000; ++i) {
    uint8_t v[8];
    for (auto& b : v) b = uint8_t(rng());
    if (i % 2) {  // half of them valid numbers
      encode(v, 8, i128(int64_t(rng() % 2000000000000000ull) - 1000000000000000ll));
      if (i % 10 == 1) v[7] = uint8_t((v[7] & 0xF0) | 0xD);
    }
    uint8_t wide[16], by_set[16];
    pd_widen(wide, v, 8);
    int set_ok = pd_set(by_set, 16, v, 8);
    ASSERT_EQ(pd_cmp(wide, 16, v, 8) == 0, set_ok == 1) << i;
    uint8_t a[8] = {}, b[8] = {};
    int na = pd_narrow8(a, wide), nb = pd_set(b, 8, wide, 16);
    ASSERT_EQ(na, nb) << i;
    if (na) {
      ASSERT_EQ(std::memcmp(a, b, 8), 0) << i;  // negative zero written positive too
    }
  }
  // A negative zero narrows to the positive zero, in either sign pair.
  for (uint8_t neg : {uint8_t(0xD), uint8_t(0xB)}) {
    com.pd_pos = neg == 0xD ? 0xC : 0xA;
    com.pd_neg = neg;
    uint8_t z[16] = {}, out[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    z[15] = neg;
    ASSERT_EQ(pd_narrow8(out, z), 1);
    const uint8_t want[8] = {0, 0, 0, 0, 0, 0, 0, com.pd_pos};
    EXPECT_EQ(std::memcmp(out, want, 8), 0) << int(out[7]);
  }
  bi_init_com();
  // A wide value with more than 15 digits does not narrow.
  uint8_t big[16];
  encode(big, 16, i128(1000000000000000LL));
  uint8_t out[8];
  EXPECT_EQ(pd_narrow8(out, big), 0);
}

}  // namespace
