// Review cases of the conversions and CALC: a conversion never writes or
// reads past the lengths its operands were given.
#include <array>
#include <cstdio>
#include <random>
#include <string>

#include "language/ibcnv.h"
#include "language/ibmath.h"
#include "language/ii2_fix.h"

namespace {

class IiReview : public ii2::TwoFields {
 protected:
  void SetUp() override {
    TwoFields::SetUp();
    cv_init();
  }
};

// Texts side by side in occurrences shorter than the display width (8): the
// last one's text would pass the operand's length. The statement is false
// and nothing is written past the length the operand was given, either way.
TEST_F(IiReview, TextOccurrencesShorterThanTheDisplayAreRefused) {
  const CvItem item = ii2::int4_item();
  auto cnv = [&](int direction, int n, int step1, int step2) {
    restart();
    bld_ira(&m.code, ia, 1);
    bld_ira(&m.code, ib, 2);
    bld_ld_len(&m.code, 1, uint16_t(n * step1));
    bld_ld_len(&m.code, 2, uint16_t(n * step2));
    bld_cnv_text(&m.code, 10, item, uint8_t(step1), 1, direction, false, "TEXT", "AMOUNT");
    end();
    uint32_t mask = 0;
    EXPECT_EQ(run(ii2::cref(1, 0), &mask), 1);
    return (mask >> 8) & 3;
  };
  for (int k = 0; k < 3; ++k) rec::view<rec::U32>(fb + 4 * k) = uint32_t(100 * k + 1);
  // Three texts of 5 bytes (15 in all) from three values.
  std::memset(fa, '.', 64);
  EXPECT_EQ(cnv(1, 3, 5, 4), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa + 15), 49), std::string(49, '.'));
  // Texts of the display width still convert.
  EXPECT_EQ(cnv(1, 3, 8, 4), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 25), "     1     101     201  .");
  // Back: three values (register 1 counted, 4 bytes each) from texts of 5
  // bytes side by side: the last text would be read past its 15 bytes.
  std::memcpy(fb, "    1    2    3        ", 23);
  std::memset(fa, 0, 16);
  restart();
  bld_ira(&m.code, ia, 1);
  bld_ira(&m.code, ib, 2);
  bld_ld_len(&m.code, 1, 12);
  bld_ld_len(&m.code, 2, 15);
  bld_cnv_text(&m.code, 10, item, 4, 1, 0, false, "AMOUNT", "TEXT");
  end();
  uint32_t mask = 0;
  EXPECT_EQ(run(ii2::cref(1, 0), &mask), 1);
  EXPECT_EQ((mask >> 8) & 3, 2u);
}

// CALC over packed variables of any scale (-32 to 31) and up to 15 digits,
// zeros of both signs among them: the first run goes instruction by instruction,
// the second by the statement's plan; both leave the same bytes and the same
// OVERFLOW outcome.
class IiReviewCalc : public ii2::Fix {
 protected:
  static constexpr int kVars = 12;
  uint32_t ira[kVars] = {};
  uint8_t* var[kVars] = {};
  std::mt19937_64 rng{20261207};
  uint64_t u(uint64_t n) { return n ? rng() % n : 0; }
  void SetUp() override {
    Fix::SetUp();
    for (int i = 0; i < kVars; ++i) var[i] = field(9, &ira[i]);
  }
  void random_value(uint8_t* p) {
    int n = int(u(16));
    uint8_t nib[16] = {};
    for (int i = 15 - n; i < 15; ++i) nib[i] = uint8_t(u(10));
    nib[15] = u(3) == 0 ? com.pd_neg : com.pd_pos;
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(nib[2 * i] << 4 | nib[2 * i + 1]);
    // Now and then a scale below 0, as a CALC result past 15 digits leaves
    // (-31 the lowest a reader takes, -32 none).
    p[8] = uint8_t(u(8) == 0 ? -int(1 + u(u(4) ? 17 : 32)) : u(4) == 0 ? u(32) : u(8));
  }
  void emit(int leaves) {
    if (leaves <= 1) {
      bld_ira(&m.code, ira[u(kVars)], 1);
      bld_calc_load(&m.code, 8);
      if (u(6) == 0) bld_calc_eval(&m.code, '~');
      return;
    }
    int l = 1 + int(u(uint64_t(leaves - 1)));
    emit(l);
    emit(leaves - l);
    bld_calc_eval(&m.code, "+-*"[u(3)]);
  }
};

TEST_F(IiReviewCalc, PlansGiveTheInstructionsBytes) {
  long bad = 0, planned_before = long(ii_math_plan_runs());
  for (int c = 0; c < 20000 && bad < 10; ++c) {
    for (int i = 0; i < kVars; ++i) random_value(var[i]);
    int res = int(u(kVars));
    restart();
    uint8_t* ov = bld_overflow(&m.code, ii2::no_code());
    bld_calc_reset(&m.code);
    bld_ira(&m.code, ira[res], 1);
    bld_calc_load(&m.code, 8);
    emit(1 + int(u(6)));
    bld_calc_eval(&m.code, '=');
    end_trapped(ov);
    uint8_t before[9], first[9];
    std::memcpy(before, var[res], 9);
    ii2::flags().clear();
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    bool trapped1 = !ii2::flags().empty();
    std::memcpy(first, var[res], 9);
    std::memcpy(var[res], before, 9);
    ii2::flags().clear();
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    bool trapped2 = !ii2::flags().empty();
    if (trapped1 != trapped2 || std::memcmp(first, var[res], 9) != 0) {
      ++bad;
      char a[40], b[40];
      for (int i = 0; i < 9; ++i) {
        std::snprintf(a + 2 * i, 3, "%02X", first[i]);
        std::snprintf(b + 2 * i, 3, "%02X", var[res][i]);
      }
      ADD_FAILURE() << "case " << c << ": instructions " << a << (trapped1 ? " (trap)" : "") << ", plan " << b
                    << (trapped2 ? " (trap)" : "");
    }
  }
  EXPECT_GT(long(ii_math_plan_runs()) - planned_before, 1000);
}

// CNV BIN both ways against 128-bit integers: the alpha bytes as an unsigned
// little-endian number scaled into a binary or packed target, and a binary
// (signed, by its size) or packed number truncated to an integer into 1, 2 or
// 4 alpha bytes; whatever does not fit is 300540 with the target unchanged.
using I128 = __int128;
I128 p10(int n) {
  I128 r = 1;
  while (n-- > 0) r *= 10;
  return r;
}
void pack(uint8_t* p, int len, I128 v) {
  bool neg = v < 0;
  if (neg) v = -v;
  std::memset(p, 0, size_t(len));
  p[len - 1] = uint8_t(((v % 10) << 4) | (neg ? 0xD : 0xC));
  v /= 10;
  for (int i = len - 2; i >= 0; --i) {
    p[i] = uint8_t(v % 10);
    v /= 10;
    p[i] = uint8_t(p[i] | (v % 10) << 4);
    v /= 10;
  }
}
I128 unpack(const uint8_t* p, int len) {
  I128 v = 0;
  for (int i = 0; i < len; ++i) {
    v = v * 10 + (p[i] >> 4);
    if (i < len - 1) v = v * 10 + (p[i] & 0xF);
  }
  return (p[len - 1] & 0xF) == 0xD ? -v : v;
}

TEST_F(IiReview, CnvBinAgainst128BitIntegers) {
  std::mt19937_64 rng(7);
  auto u = [&](uint64_t n) { return rng() % n; };
  auto go = [&](IbCnvOp t, IbCnvOp s) {
    return TwoFields::go([&] { EXPECT_NE(bld_cnv_bin(&m.code, t, s, false, 0, nullptr), nullptr); }) == 1;
  };
  int bad = 0;
  for (int c = 0; c < 20000 && bad < 10; ++c) {
    std::memset(fa, 0x5A, 64);
    uint8_t before[16];
    std::memcpy(before, fa, 16);
    if (u(2) == 0) {  // N_A
      int n = int(1 + u(4));
      uint64_t raw = rng();
      if (u(3) == 0) raw &= 0xFF;
      for (int i = 0; i < n; ++i) fb[i] = uint8_t(raw >> (8 * i));
      I128 v = I128(raw & (n == 4 ? 0xFFFFFFFFull : (1ull << (8 * n)) - 1));
      int kind = int(u(3));
      uint8_t type = kind == 0 ? 5 : kind == 1 ? 8 : 12;
      uint8_t len = type == 5 ? uint8_t(std::array<int, 3>{1, 2, 4}[u(3)]) : uint8_t(2 + u(9));
      uint8_t scale = type == 12 ? 0 : uint8_t(u(6));
      I128 want = v * p10(scale);
      bool fits = type == 5 ? want <= (len == 4 ? I128(0xFFFFFFFFll) : (I128(1) << (8 * len)) - 1)
                            : want < p10(2 * (type == 12 ? len - 1 : len) - 1);
      bool done = go({type, len, scale}, {1, uint8_t(n), 0});
      I128 got = 0;
      if (type == 5)
        for (int i = 0; i < len; ++i) got |= I128(fa[i]) << (8 * i);
      else
        got = unpack(fa, type == 12 ? len - 1 : len);
      if (done != fits || (done && got != want) || (!done && std::memcmp(before, fa, 16) != 0)) {
        ++bad;
        ADD_FAILURE() << "N_A case " << c << " type " << int(type) << " len " << int(len) << " scale " << int(scale)
                      << " value " << uint64_t(v) << (done ? " done" : " refused");
      }
    } else {  // A_N
      int kind = int(u(3));
      uint8_t type = kind == 0 ? 5 : kind == 1 ? 8 : 12;
      uint8_t len, scale = uint8_t(u(5));
      I128 v;
      if (type == 5) {
        len = uint8_t(std::array<int, 3>{1, 2, 4}[u(3)]);
        int64_t x = int64_t(rng() >> (64 - 8 * len));
        if (x >= (int64_t(1) << (8 * len - 1))) x -= int64_t(1) << (8 * len);
        for (int i = 0; i < len; ++i) fb[i] = uint8_t(uint64_t(x) >> (8 * i));
        v = x;
      } else {
        len = uint8_t(2 + u(9));
        int dl = type == 12 ? len - 1 : len;
        int digits = int(u(uint64_t(2 * dl)));
        v = I128(rng() % uint64_t(p10(std::min(digits, 18)))) * (digits > 18 ? p10(digits - 18) : 1);
        if (u(3) == 0) v = -v;
        pack(fb, dl, v);
        if (type == 12) fb[dl] = scale;
      }
      I128 q = v / p10(scale);  // truncated toward zero
      uint8_t tl = uint8_t(std::array<int, 3>{1, 2, 4}[u(3)]);
      bool fits = q >= 0 && q < (I128(1) << (8 * tl));
      bool done = go({1, tl, 0}, {type, len, type == 12 ? uint8_t(0) : scale});
      I128 got = 0;
      for (int i = 0; i < tl; ++i) got |= I128(fa[i]) << (8 * i);
      if (done != fits || (done && got != q) || (!done && std::memcmp(before, fa, 16) != 0)) {
        ++bad;
        ADD_FAILURE() << "A_N case " << c << " type " << int(type) << " len " << int(len) << " scale " << int(scale)
                      << " value " << int64_t(v) << " into " << int(tl) << (done ? " done" : " refused");
      }
    }
  }
}

}  // namespace
