// Review cases of the conversions and CALC: a conversion never writes or
// reads past the lengths its operands were given.
#include <string>

#include "language/ibcnv.h"
#include "language/ii2_fix.h"

namespace {

class IiReview : public ii2::Fix {
 protected:
  uint32_t ia = 0, ib = 0;
  uint8_t *fa = nullptr, *fb = nullptr;
  void SetUp() override {
    Fix::SetUp();
    cv_init();
    fa = field(64, &ia);
    fb = field(64, &ib);
    watch_errors();
  }
};

// Texts side by side in occurrences shorter than the display width (8): the
// last one's text would pass the operand's length. The statement is false
// and nothing is written past the length the operand was given, either way.
TEST_F(IiReview, TextOccurrencesShorterThanTheDisplayAreRefused) {
  CvItem item;
  std::memset(&item, 0, sizeof item);
  item.type = 5;
  item.int_len = 4;
  item.sign = '1';
  item.digits = 6;
  item.ext_len = 8;
  item.mask.set("");
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

}  // namespace
