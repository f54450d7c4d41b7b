// CNV BIN both ways and CNV TEXT's truth values on hand-assembled code.
#include <string>

#include "language/ibcnv.h"
#include "language/ibmisc.h"
#include "language/ii2_fix.h"

namespace {

class IiCnv : public ii2::TwoFields {
 protected:
  void SetUp() override {
    TwoFields::SetUp();
    cv_init();
  }
  // "ok", or the run-time error, of what build emits (and builds).
  template <class F>
  std::string go(F build) {
    int rc = TwoFields::go([&] { EXPECT_TRUE(build()); });
    return rc == 1 ? "ok" : std::to_string(last_err());
  }
};

TEST_F(IiCnv, BinaryBytesBothWays) {
  // A 1-byte alpha holding 'A' (65) into a binary field: 65, at scale 1 650.
  fb[0] = 'A';
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {5, 4, 0}, {1, 1, 0}, false, 0, nullptr); }), "ok");
  EXPECT_EQ(rec::view<rec::U32>(fa).get(), 65u);
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {5, 2, 1}, {1, 1, 0}, false, 0, nullptr); }), "ok");
  EXPECT_EQ(rec::view<rec::U16>(fa).get(), 650);
  // Scaling past 32 bits is 300540, not a number scaled short.
  std::memset(fb, 0xFF, 4);
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {5, 4, 1}, {1, 4, 0}, false, 0, nullptr); }), "300540");
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {5, 4, 0}, {1, 4, 0}, false, 0, nullptr); }), "ok");
  EXPECT_EQ(rec::view<rec::U32>(fa).get(), 0xFFFFFFFFu);
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {5, 1, 0}, {1, 2, 0}, false, 0, nullptr); }), "300540");
  // Into packed: 4294967295 into a fixed field at scale 2, and a variable one.
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {8, 7, 2}, {1, 4, 0}, false, 0, nullptr); }), "ok");
  EXPECT_EQ(fa[0], 0x04);  // 429496729500 in 13 digits
  EXPECT_EQ(fa[5], 0x50);
  EXPECT_EQ(fa[6], 0x0C);
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {8, 5, 2}, {1, 4, 0}, false, 0, nullptr); }), "300540");
  fa[8] = 5;  // (the scale byte: 0 after)
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {12, 9, 0}, {1, 4, 0}, false, 0, nullptr); }), "ok");
  EXPECT_EQ(fa[8], 0);
  // A longer alpha source is refused when built (102250).
  EXPECT_EQ(bld_cnv_bin(&m.code, {5, 4, 0}, {1, 5, 0}, false, 0, nullptr), nullptr);

  // A_N: binary 256 into a 1-byte alpha is 300540; 255 fits.
  rec::view<rec::U32>(fb) = 256;
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {1, 1, 0}, {5, 4, 0}, false, 0, nullptr); }), "300540");
  rec::view<rec::U32>(fb) = 255;
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {1, 1, 0}, {5, 4, 0}, false, 0, nullptr); }), "ok");
  EXPECT_EQ(fa[0], 255);
  // A packed source up to 4294967295 (unscaled), into 4 bytes.
  uint8_t p[6] = {0x04, 0x29, 0x49, 0x67, 0x29, 0x5C};
  std::memcpy(fb, p, 6);
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {1, 4, 0}, {8, 6, 0}, false, 0, nullptr); }), "ok");
  EXPECT_EQ(rec::view<rec::U32>(fa).get(), 4294967295u);
  fb[5] = 0x6C;  // 4294967296
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {1, 4, 0}, {8, 6, 0}, false, 0, nullptr); }), "300540");
  fb[5] = 0x6C;  // at scale 1: 429496729
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {1, 4, 0}, {8, 6, 1}, false, 0, nullptr); }), "ok");
  EXPECT_EQ(rec::view<rec::U32>(fa).get(), 429496729u);
  // A variable packed source at a negative scale (a CALC result past 15
  // digits): its digits and zeros; 32 bits at most.
  ii2::set_pd(fb, "42949672");
  fb[8] = uint8_t(-2);
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {1, 4, 0}, {12, 9, 0}, false, 0, nullptr); }), "ok");
  EXPECT_EQ(rec::view<rec::U32>(fa).get(), 4294967200u);
  fb[8] = uint8_t(-3);
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {1, 4, 0}, {12, 9, 0}, false, 0, nullptr); }), "300540");
  // A constant as stored in the instruction.
  EXPECT_EQ(go([&] { return bld_cnv_bin(&m.code, {1, 2, 0}, {5, 0, 0}, true, 0x4142, nullptr); }), "ok");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 2), "BA");
}

TEST_F(IiCnv, TextConversionSetsFalseOnlyOnAFailure) {
  const CvItem item = ii2::int4_item();
  auto cnv = [&](int direction, uint32_t shift, std::initializer_list<int> levels) {
    restart();
    for (int l : levels) set_tf(shift, l == 1);  // earlier: true (1) or false (2)
    bld_ira(&m.code, ia, 1);
    bld_ira(&m.code, ib, 2);
    bld_cnv_text(&m.code, shift, item, 4, 0, direction, false, "TEXT", "AMOUNT");
    end();
    uint32_t mask = 0;
    EXPECT_EQ(run(ii2::cref(1, 0), &mask), 1);
    return (mask >> (shift - 2)) & 3;
  };
  // Field (register 2) to text (register 1).
  rec::view<rec::U32>(fb) = 123;
  std::memset(fa, '.', 8);
  EXPECT_EQ(cnv(1, 10, {}), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 8), "   123  ");  // the conversion layer's default form
  // The same again: the text does not change, yet it is a success.
  EXPECT_EQ(cnv(1, 10, {}), 1u);
  // Text to field: a good text, a bad one.
  std::memcpy(fb, "   -42  ", 8);
  EXPECT_EQ(cnv(0, 10, {}), 1u);
  EXPECT_EQ(int32_t(rec::view<rec::U32>(fa).get()), -42);
  std::memcpy(fb, "  4x2   ", 8);
  EXPECT_EQ(cnv(0, 10, {}), 2u);
  EXPECT_EQ(int32_t(rec::view<rec::U32>(fa).get()), -42);
  // A success after a failure with the same column stays false, at level 1
  // and at level 3 (the level's own bits only).
  std::memcpy(fb, "     7  ", 8);
  EXPECT_EQ(cnv(0, 10, {2}), 2u);
  EXPECT_EQ(cnv(0, 6, {2}), 2u);
  EXPECT_EQ(cnv(0, 6, {1}), 1u);
}

// A statement's conversion follows its item when another item comes to its
// place (a compiled item is kept by place and item): an item with a mask
// after one without, compared with the same item first run elsewhere.
TEST_F(IiCnv, TextConversionFollowsItsItem) {
  CvItem a = ii2::int4_item(), b = a;
  b.mask.set("99999999");
  auto cnv = [&](const CvItem& item, bool elsewhere) {
    restart();
    if (elsewhere) bld_nop(&m.code);
    bld_ira(&m.code, ia, 1);
    bld_ira(&m.code, ib, 2);
    bld_cnv_text(&m.code, 10, item, 4, 0, 1, false, "TEXT", "AMOUNT");
    end();
    std::string out;
    for (int r = 0; r < 3; ++r) {  // (the item compiled again, then kept)
      rec::view<rec::U32>(fb) = 12345;
      std::memset(fa, '.', 12);
      EXPECT_EQ(run(ii2::cref(1, 0)), 1);
      std::string now(reinterpret_cast<char*>(fa), 12);
      if (r > 0) {
        EXPECT_EQ(now, out) << r;
      }
      out = now;
    }
    return out;
  };
  std::string with_a = cnv(a, false);
  std::string with_b = cnv(b, true);
  EXPECT_NE(with_a, with_b);
  EXPECT_EQ(cnv(b, false), with_b);
  EXPECT_EQ(cnv(a, false), with_a);
}

// All occurrences: each value of the counted operand with the other's value
// at its step (its own occurrences, texts side by side, or one value for
// all); one failure makes the statement false, the others still converted.
TEST_F(IiCnv, TextConversionOfEveryOccurrence) {
  const CvItem item = ii2::int4_item();
  // mode 1 or 2 counts register 1 or 2: n values of len1 (len2) bytes.
  auto cnv = [&](int mode, int direction, int n, int step1, int step2) {
    restart();
    bld_ira(&m.code, ia, 1);
    bld_ira(&m.code, ib, 2);
    bld_ld_len(&m.code, 1, uint16_t(n * step1));
    bld_ld_len(&m.code, 2, uint16_t(n * step2));
    bld_cnv_text(&m.code, 10, item, uint8_t(mode == 1 ? step1 : step2), mode, direction, false, "TEXT", "AMOUNT");
    end();
    uint32_t mask = 0;
    EXPECT_EQ(run(ii2::cref(1, 0), &mask), 1);
    return (mask >> 8) & 3;
  };
  std::memset(fa, '.', 64);
  for (int k = 0; k < 3; ++k) rec::view<rec::U32>(fb + 4 * k) = uint32_t(100 * k + 1);
  // Three texts of 10 bytes (the target counted), three values of 4.
  EXPECT_EQ(cnv(1, 1, 3, 10, 4), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 30), "     1  ..   101  ..   201  ..");
  // The values counted, the texts side by side in one field.
  std::memset(fa, '.', 64);
  EXPECT_EQ(cnv(2, 1, 3, 8, 4), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 25), "     1     101     201  .");
  // Back: the values (register 1 now) from texts side by side; one bad text.
  std::memcpy(fb, "    -5        7      x9  ", 24);
  std::memset(fa, 0, 16);
  EXPECT_EQ(cnv(1, 0, 3, 4, 8), 2u);
  EXPECT_EQ(int32_t(rec::view<rec::U32>(fa).get()), -5);
  EXPECT_EQ(int32_t(rec::view<rec::U32>(fa + 4).get()), 7);
  EXPECT_EQ(rec::view<rec::U32>(fa + 8).get(), 0u);
  // One value for every text (a step of 0).
  rec::view<rec::U32>(fb) = 42;
  std::memset(fa, '.', 64);
  EXPECT_EQ(cnv(1, 1, 2, 8, 0), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 17), "    42      42  .");
}

}  // namespace
