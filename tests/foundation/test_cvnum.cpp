// Numbers and alpha values: edit masks, entry, stored forms.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/bi.h"
#include "foundation/cv.h"

namespace {

using i128 = __int128;

std::string itoe(const char* mask, long long v, int scale, int width = -1) {
  CvNumMsk m{mask, int(std::strlen(mask)), {}, 0};
  if (width < 0) width = cv_num_msk(&m) ? m.width : int(std::strlen(mask));
  std::string out(size_t(width), '#');
  int ok = num_itoe(mask, int(std::strlen(mask)), CvNum{v, scale}, out.data(), width);
  return (ok ? "" : "!") + out;
}

struct Separators {
  Separators(char dec, char thou, const char* cur) {
    saved_dec = com.dec_sep;
    saved_thou = com.thou_sep;
    std::memcpy(saved_cur, com.currency.data(), 4);
    com.dec_sep = uint8_t(dec);
    com.thou_sep = uint8_t(thou);
    com.currency.set(cur);
  }
  ~Separators() {
    com.dec_sep = saved_dec;
    com.thou_sep = saved_thou;
    std::memcpy(com.currency.data(), saved_cur, 4);
  }
  uint8_t saved_dec, saved_thou;
  char saved_cur[4];
};

std::string to_text(i128 v) {
  if (v == 0) return "0";
  bool neg = v < 0;
  std::string s;
  while (v != 0) {
    int d = int(v % 10);
    s.insert(s.begin(), char('0' + (d < 0 ? -d : d)));
    v /= 10;
  }
  return neg ? "-" + s : s;
}

}  // namespace

// The mask catalogue: every mask character in the forms users write.
TEST(NumMask, Catalogue) {
  Separators sep('.', ',', "$");
  struct Case {
    const char* mask;
    long long value;
    int scale;
    const char* text;
  } cases[] = {
      {"999", 12, 0, " 12"},
      {"999", 0, 0, "   "},          // a zero under suppressing positions shows nothing
      {"990", 0, 0, "  0"},
      {"099", 7, 0, "007"},          // '0' shows zeros from its position on
      {"ZZ9", 5, 0, "  5"},
      {"ZZ9.99", 512, 2, "  5.12"},
      {"999.99", 50, 2, "   .50"},
      {"99990.99", 0, 0, "    0.00"},
      {"999.99", 1234, 3, "  1.23"},   // rounded half away from zero: 1.234 -> 1.23
      {"999.99", 1235, 3, "  1.24"},
      {"999.99", -1235, 3, "!******"},  // negative without a sign position
      {"999.99-", -1235, 3, "  1.24-"},
      {"999.99-", 1235, 3, "  1.24 "},
      {"-999.99", -1235, 3, "  -1.24"},  // a leading sign floats
      {"(999.99)", -1235, 3, "  (1.24)"},
      {"(999.99)", 1235, 3, "   1.24 "},
      {"<9,999>", -1234, 0, "<1,234>"},
      {"9,999,999", 1234567, 0, "1,234,567"},
      {"9,999,999", 4567, 0, "    4,567"},
      {"***,**9.99", 4567, 2, "*****45.67"},
      {"$9,999.99", 1250, 2, "   $12.50"},
      {"-$9,999.99", -1250, 2, "   -$12.50"},
      {"$*,**9.99", 1250, 2, "$***12.50"},  // no floating under the cheque-protect fill
      {"8888.99", 125, 1, "12.50  "},        // '8' moves the number left
      {"9999", 12345, 0, "!****"},           // too many digits
      {"999.", 12, 0, " 12 "},               // a point without a digit after it shows blank
      {"99/99", 1231, 0, "12/31"},           // literals
      {"\\999", 42, 0, "942"},              // backslash: a literal mask character
      {"99%", 42, 0, "42%"},
      {"-Z9.**", -5, 2, "  -.05"},           // '*' decimals are no fill: the sign floats
  };
  for (const Case& c : cases)
    EXPECT_EQ(itoe(c.mask, c.value, c.scale), c.text) << c.mask << " " << c.value;
  // An output as wide as the mask, and one cell narrower.
  EXPECT_EQ(itoe("999", 12, 0, 3), " 12");
  EXPECT_EQ(itoe("999", 12, 0, 2), "!**");
}

TEST(NumMask, FactsAndMalformedMasks) {
  CvNumMsk m{"(ZZZ,ZZ9.99)", 12, {}, 0};
  ASSERT_EQ(cv_num_msk(&m), 1);
  EXPECT_EQ(m.facts.int_digits, 6);
  EXPECT_EQ(m.facts.decimals, 2);
  EXPECT_EQ(m.facts.sign, 2);
  EXPECT_EQ(m.facts.group, 1);
  EXPECT_EQ(m.facts.fill, ' ');
  EXPECT_EQ(m.width, 12);
  CvNumMsk star{"**9.9-", 6, {}, 0};
  ASSERT_EQ(cv_num_msk(&star), 1);
  EXPECT_EQ(star.facts.fill, '*');
  EXPECT_EQ(star.facts.sign, 1);
  for (const char* bad : {"", "   ", "abc", "99.9.9", "(999", "999)", "<99", "-99-", "(99)-", "9\\",
                          "999999999999999999999999999999999", ")99(", "99(9)", "99-99", "9$9", "9,,999", ",999", "999,", "9,.99", "9,x99"}) {
    CvNumMsk b{bad, int(std::strlen(bad)), {}, 0};
    EXPECT_EQ(cv_num_msk(&b), 0) << "'" << bad << "'";
    char out[8];
    EXPECT_EQ(num_itoe(bad, int(std::strlen(bad)), CvNum{1, 0}, out, 8), 0);
  }
  // At most 31 digit positions and 128 positions.
  for (auto [mask, ok] : {std::pair{std::string(31, '9'), 1}, {std::string(32, '9'), 0},
                          {"9" + std::string(127, 'x'), 1}, {"9" + std::string(128, 'x'), 0}}) {
    CvNumMsk b{mask.data(), int(mask.size()), {}, 0};
    EXPECT_EQ(cv_num_msk(&b), ok) << mask.size();
  }
}

TEST(NumMask, LocalizedSeparators) {
  Separators sep(',', '.', "EUR");
  EXPECT_EQ(itoe("9,999.99", 123456, 2), "1.234,56");
  EXPECT_EQ(itoe("$$$9,999.99", 123456, 2), "EUR1.234,56");
  CvNum n;
  uint32_t msg = 0;
  ASSERT_EQ(cv_num_etoi("EUR 1.234,56", 12, &n, &msg), 1);
  EXPECT_TRUE(n.value == 123456 && n.scale == 2);
  EXPECT_EQ(cv_num_etoi("1,2,3", 5, &n, &msg), 0);
  EXPECT_EQ(msg, 100350u);
}

TEST(NumEntry, AcceptsWhatTheMasksShowAndRefusesTheRest) {
  Separators sep('.', ',', "$");
  struct Ok {
    const char* text;
    long long value;
    int scale;
  } oks[] = {
      {"", 0, 0},           {"   ", 0, 0},         {" 12 ", 12, 0},      {"-12", -12, 0},
      {"12-", -12, 0},      {"+5", 5, 0},          {"(1.24)", -124, 2},  {"<1,234>", -1234, 0},
      {"1,234,567", 1234567, 0}, {"***45.67", 4567, 2}, {"$12.50", 1250, 2}, {"-$12.50", -1250, 2},
      {"   -$12.50", -1250, 2}, {".5", 5, 1},       {"007", 7, 0},        {"*** ", 0, 0},
      {"$", 0, 0},
  };
  for (const Ok& c : oks) {
    CvNum n{99, 99};
    uint32_t msg = 0;
    ASSERT_EQ(cv_num_etoi(c.text, int(std::strlen(c.text)), &n, &msg), 1) << c.text;
    EXPECT_TRUE(n.value == c.value && n.scale == c.scale) << c.text;
  }
  for (const char* bad : {"12a", "1.2.3", "--1", "1 2", "(12", "12)", "1,,2", "x", "1-2", ",12", "-", "$ -", "()"}) {
    CvNum n;
    uint32_t msg = 0;
    EXPECT_EQ(cv_num_etoi(bad, int(std::strlen(bad)), &n, &msg), 0) << bad;
    EXPECT_EQ(msg, 100350u) << bad;
  }
  CvNum n;
  uint32_t msg = 0;
  std::string huge(40, '9');
  EXPECT_EQ(cv_num_etoi(huge.data(), int(huge.size()), &n, &msg), 0);
  EXPECT_EQ(msg, 200050u);
  // 31 significant digits are read, leading zeros not counted; 32 are not.
  std::string d31 = "0000000000" + std::string(31, '9');
  ASSERT_EQ(cv_num_etoi(d31.data(), int(d31.size()), &n, &msg), 1);
  i128 max31 = 1;
  for (int i = 0; i < 31; ++i) max31 *= 10;
  EXPECT_TRUE(n.value == max31 - 1 && n.scale == 0);
  EXPECT_EQ(cv_num_etoi(("1" + d31).data(), int(d31.size()) + 1, &n, &msg), 0);
  EXPECT_EQ(msg, 200050u);
}

// Masks of digit positions, a point and a trailing minus only (the default
// masks of numeric fields) against their own rule: the digits right-aligned,
// leading zeros blank before the first '0' position or significant digit,
// the decimals always shown, the point shown when decimals follow, '-' for a
// negative value; a value past the digits all '*'. Lengths of 1-31 digits,
// values at the limit and one past, on both sides of 64 bits.
TEST(NumMask, DigitMasksAgainstTheirRule) {
  std::mt19937_64 rng(20261209);
  auto p10 = [](int n) {
    i128 v = 1;
    while (n-- > 0) v *= 10;
    return v;
  };
  for (int i = 0; i < 20000; ++i) {
    int ints = 1 + int(rng() % 24), decs = int(rng() % 8);
    if (ints + decs > 31) decs = 31 - ints;
    bool minus = rng() % 2, point = decs > 0 || rng() % 4 == 0;
    int zero_at = rng() % 3 ? ints - 1 : int(rng() % ints);  // the first '0' position
    std::string mask;
    for (int k = 0; k < ints; ++k) mask += k >= zero_at ? '0' : "9Z"[rng() % 2];
    if (point) mask += '.';
    mask += std::string(size_t(decs), "90"[rng() % 2]);
    if (minus) mask += '-';
    int total = ints + decs;
    i128 lim = p10(total);
    i128 v;
    switch (rng() % 4) {
      case 0: v = lim - 1; break;
      case 1: v = lim; break;
      case 2: v = i128(rng() % 1000); break;
      default: v = (i128(rng()) << 40 ^ i128(rng())) % lim;
    }
    if (rng() % 2) v = -v;
    char out[40];
    int got = num_itoe(mask.data(), int(mask.size()), CvNum{v, decs}, out, int(sizeof out));
    // The rule.
    std::string want;
    bool fits = (v < 0 ? -v : v) < lim && (v >= 0 || minus);
    if (!fits) {
      want = std::string(mask.size(), '*');
    } else {
      i128 m = v < 0 ? -v : v;
      std::string d(size_t(total), '0');
      for (int k = total - 1; k >= 0; --k, m /= 10) d[size_t(k)] = char('0' + int(m % 10));
      bool sig = false;
      for (int k = 0; k < total; ++k) {
        if (k == ints && point) want += decs > 0 ? char(com.dec_sep) : ' ';
        sig = sig || k >= ints || k >= zero_at || d[size_t(k)] != '0';
        want += sig ? d[size_t(k)] : ' ';
      }
      if (point && decs == 0) want += ' ';
      if (minus) want += v < 0 ? '-' : ' ';
    }
    want += std::string(sizeof out - want.size(), ' ');
    ASSERT_EQ(got, fits ? 1 : 0) << mask << " " << int64_t(v);
    ASSERT_EQ(std::string(out, sizeof out), want) << mask << " " << int64_t(v);
  }
}

// Display -> entry -> display is stable for every mask, against the
// 128-bit oracle.
TEST(NumMask, RoundTripsRandomValues) {
  Separators sep('.', ',', "$");
  std::mt19937_64 rng(42);
  const char* masks[] = {"ZZZ,ZZ9.99-", "(999,999.999)", "-$9,999,999", "***,***.**", "<99999>",
                         "99990.9999-", "8,888,888.88-", "$$$9.99"};
  for (const char* mask : masks) {
    CvNumMsk m{mask, int(std::strlen(mask)), {}, 0};
    ASSERT_EQ(cv_num_msk(&m), 1) << mask;
    i128 limit = 1;
    for (int i = 0; i < m.facts.int_digits + m.facts.decimals; ++i) limit *= 10;
    for (int k = 0; k < 2000; ++k) {
      i128 v = i128(rng() % uint64_t(limit));
      if (m.facts.sign && (rng() & 1)) v = -v;
      std::string out(size_t(m.width), ' ');
      ASSERT_EQ(num_itoe(mask, m.width, CvNum{v, m.facts.decimals}, out.data(), m.width), 1)
          << mask << " " << to_text(v);
      CvNum back;
      uint32_t msg = 0;
      ASSERT_EQ(cv_num_etoi(out.data(), int(out.size()), &back, &msg), 1) << mask << " '" << out << "'";
      i128 want = v, got = back.value;
      for (int s = back.scale; s < m.facts.decimals; ++s) got *= 10;
      ASSERT_TRUE(got == want) << mask << " '" << out << "' " << to_text(v) << " " << to_text(back.value);
    }
  }
}

// Stored forms against the oracle: binary sizes, packed lengths, variable
// packed; the limits of each and the refusals.
TEST(NumStored, BinaryPackedAndVariable) {
  uint8_t buf[16];
  uint32_t msg;
  // Binary: the whole signed range, unsigned up to all ones less one.
  struct B {
    int len;
    bool sgn;
    long long lo, hi;
  } bins[] = {{1, true, -128, 127}, {1, false, 0, 254}, {2, true, -32768, 32767}, {2, false, 0, 65534},
              {4, true, -2147483648LL, 2147483647LL}, {4, false, 0, 4294967294LL}};
  for (const B& b : bins) {
    for (long long v : {b.lo, b.hi, (b.lo + b.hi) / 2}) {
      msg = 0;
      ASSERT_EQ(cv_num_put(5, buf, b.len, 0, 0, b.sgn, CvNum{v, 0}, &msg), 1) << v;
      CvNum n;
      ASSERT_EQ(cv_num_get(5, buf, b.len, 0, b.sgn, &n), 1);
      EXPECT_TRUE(n.value == v);
    }
    std::memset(buf, 0x5A, sizeof buf);
    EXPECT_EQ(cv_num_put(5, buf, b.len, 0, 0, b.sgn, CvNum{b.hi + 1, 0}, &msg), 0);
    EXPECT_EQ(msg, 200050u);
    EXPECT_EQ(buf[0], 0x5A);  // a refusal leaves the field alone
    EXPECT_EQ(cv_num_put(5, buf, b.len, 0, 0, b.sgn, CvNum{b.lo - 1, 0}, &msg), 0);
    EXPECT_EQ(buf[0], 0x5A);
    if (!b.sgn) {
      EXPECT_EQ(cv_num_put(5, buf, b.len, 0, 0, false, CvNum{-1, 0}, &msg), 0);
      EXPECT_EQ(msg, 100550u);
    }
  }
  // Implied decimals: "1.5" into 2 decimals is 150; three decimals refused,
  // trailing zero decimals accepted.
  ASSERT_EQ(cv_num_put(5, buf, 2, 3, 2, true, CvNum{15, 1}, &msg), 1);
  EXPECT_EQ(buf[0] | buf[1] << 8, 150);
  EXPECT_EQ(cv_num_put(5, buf, 2, 3, 2, true, CvNum{1234, 3}, &msg), 0);
  EXPECT_EQ(msg, 100790u);
  ASSERT_EQ(cv_num_put(5, buf, 2, 3, 2, true, CvNum{1230, 3}, &msg), 1);
  // Integer digits of the element bound the value.
  EXPECT_EQ(cv_num_put(5, buf, 4, 3, 0, true, CvNum{1000, 0}, &msg), 0);
  EXPECT_EQ(msg, 200050u);

  // Packed of every length: the largest value fits, one more does not.
  for (int len = 1; len <= 16; ++len) {
    i128 max = 1;
    for (int i = 0; i < 2 * len - 1; ++i) max *= 10;
    max -= 1;
    // (and the largest 64-bit magnitude and one past it, where they fit)
    i128 u64 = i128(UINT64_MAX);
    for (i128 v : {max, -max, i128(0), i128(-1), len >= 11 ? u64 : 0, len >= 11 ? -u64 - 1 : 0}) {
      ASSERT_EQ(cv_num_put(8, buf, len, 0, 0, true, CvNum{v, 0}, &msg), 1) << len;
      CvNum n;
      ASSERT_EQ(cv_num_get(8, buf, len, 0, true, &n), 1);
      EXPECT_TRUE(n.value == v) << len;
    }
    if (len < 16) {
      EXPECT_EQ(cv_num_put(8, buf, len, 0, 0, true, CvNum{max + 1, 0}, &msg), 0) << len;
      EXPECT_EQ(msg, 200050u);
    }
  }
  // No packed field is longer than 16 bytes (31 digits).
  uint8_t b17[17];
  std::memset(b17, 0x99, 16);
  b17[16] = 0x9C;
  CvNum n17;
  EXPECT_EQ(cv_num_get(8, b17, 17, 0, true, &n17), 0);
  EXPECT_EQ(cv_num_put(8, b17, 17, 0, 0, true, CvNum{1, 0}, &msg), 0);
  EXPECT_EQ(b17[16], 0x9C);
  // Zero is always the positive zero; sign nibbles are the configured ones.
  ASSERT_EQ(cv_num_put(8, buf, 2, 0, 0, true, CvNum{0, 0}, &msg), 1);
  EXPECT_EQ(buf[1] & 0xF, com.pd_pos);
  ASSERT_EQ(cv_num_put(8, buf, 2, 0, 0, true, CvNum{-5, 0}, &msg), 1);
  EXPECT_EQ(buf[1], 0x5D);
  // A bad nibble is no number.
  buf[0] = 0xA1;
  CvNum n;
  EXPECT_EQ(cv_num_get(8, buf, 2, 0, true, &n), 0);
  buf[0] = 0x01;
  buf[1] = 0x2B;
  EXPECT_EQ(cv_num_get(8, buf, 2, 0, true, &n), 0);
  // Every digit place (read two at a time for the first 18 digits): a value
  // of 31 different digits, and a bad nibble at each place of 9 and 16 bytes.
  const i128 digits31 = i128(1234567890123456LL) * 1000000000000000LL + 789012345678901LL;
  ASSERT_EQ(cv_num_put(8, buf, 16, 0, 0, true, CvNum{-digits31, 0}, &msg), 1);
  ASSERT_EQ(cv_num_get(8, buf, 16, 0, true, &n), 1);
  EXPECT_TRUE(n.value == -digits31);
  for (int len : {9, 16})
    for (int at = 0; at < 2 * len - 1; ++at) {
      ASSERT_EQ(cv_num_put(8, buf, len, 0, 0, true, CvNum{7, 0}, &msg), 1);
      buf[at / 2] = uint8_t(at % 2 ? (buf[at / 2] & 0xF0) | 0xC : (buf[at / 2] & 0x0F) | 0xA0);
      EXPECT_EQ(cv_num_get(8, buf, len, 0, true, &n), 0) << len << " " << at;
    }

  // Variable packed: 8 bytes and the value's own scale.
  ASSERT_EQ(cv_num_put(12, buf, 9, 15, 15, true, CvNum{-123456, 3}, &msg), 1);
  EXPECT_EQ(buf[8], 3);
  ASSERT_EQ(cv_num_get(12, buf, 9, 15, true, &n), 1);
  EXPECT_TRUE(n.value == -123456 && n.scale == 3);
  i128 big = 1;
  for (int i = 0; i < 16; ++i) big *= 10;
  EXPECT_EQ(cv_num_put(12, buf, 9, 15, 15, true, CvNum{big, 0}, &msg), 0);
  EXPECT_EQ(msg, 200050u);
  // A scale byte below 0 (a calculation result past 15 digits): the digits
  // followed by zeros, at scale 0, up to 31 digits.
  ASSERT_EQ(cv_num_put(12, buf, 9, 15, 15, true, CvNum{-123456789012345, 0}, &msg), 1);
  buf[8] = uint8_t(-16);
  ASSERT_EQ(cv_num_get(12, buf, 9, 15, true, &n), 1);
  EXPECT_TRUE(n.value == -123456789012345 * big && n.scale == 0);
  buf[8] = uint8_t(-17);
  EXPECT_EQ(cv_num_get(12, buf, 9, 15, true, &n), 0);
  ASSERT_EQ(cv_num_put(12, buf, 9, 15, 15, true, CvNum{7, 0}, &msg), 1);
  buf[8] = uint8_t(-30);
  ASSERT_EQ(cv_num_get(12, buf, 9, 15, true, &n), 1);
  buf[8] = uint8_t(-31);  // 7 x 10^31: 32 digits
  EXPECT_EQ(cv_num_get(12, buf, 9, 15, true, &n), 0);
  buf[8] = 31;  // a scale byte up to 31 decimals
  ASSERT_EQ(cv_num_get(12, buf, 9, 15, true, &n), 1);
  EXPECT_TRUE(n.value == 7 && n.scale == 31);
  buf[8] = 32;
  EXPECT_EQ(cv_num_get(12, buf, 9, 15, true, &n), 0);
  // The element's decimals bound the value's: as many, not one more.
  ASSERT_EQ(cv_num_put(12, buf, 9, 15, 2, true, CvNum{-123, 2}, &msg), 1);
  EXPECT_EQ(cv_num_put(12, buf, 9, 15, 2, true, CvNum{-1234, 3}, &msg), 0);
  EXPECT_EQ(msg, 100790u);
}

// Whatever a variable packed field takes reads back: a value of more
// decimals than the scale byte holds (31) is refused, also when the element
// gives no decimals.
TEST(NumStored, VariablePackedStoresNoScaleItCannotRead) {
  uint8_t buf[9];
  uint32_t msg = 0;
  CvNum n;
  ASSERT_EQ(cv_num_put(12, buf, 9, 15, 0, true, CvNum{1, 31}, &msg), 1);
  ASSERT_EQ(cv_num_get(12, buf, 9, 0, true, &n), 1);
  EXPECT_TRUE(n.value == 1 && n.scale == 31);
  std::memset(buf, 0x5A, sizeof buf);
  EXPECT_EQ(cv_num_put(12, buf, 9, 15, 0, true, CvNum{1, 32}, &msg), 0);
  EXPECT_EQ(buf[8], 0x5A);
  EXPECT_EQ(cv_num_put(12, buf, 9, 15, 0, true, CvNum{1, 259}, &msg), 0);  // not 1 at scale 3
  EXPECT_EQ(buf[8], 0x5A);
}

// Elements of a damaged dictionary: a scale past 31 digits (a value of
// that scale once divided by zero) and a calculation value shorter than
// its 9 bytes (read and written past the field) are refused.
TEST(NumStored, ScalesAndCalculationLengthsPastTheirBounds) {
  uint8_t buf[16] = {};
  uint32_t msg = 0;
  CvNum n;
  buf[0] = 7;
  ASSERT_EQ(cv_num_get(5, buf, 1, 31, false, &n), 1);
  EXPECT_TRUE(n.value == 7 && n.scale == 31);
  EXPECT_EQ(cv_num_put(5, buf, 4, 1, 31, false, n, &msg), 1);
  EXPECT_EQ(cv_num_get(5, buf, 1, 32, false, &n), 0);
  EXPECT_EQ(cv_num_put(5, buf, 4, 1, 32, false, CvNum{7, 32}, &msg), 0);
  EXPECT_EQ(cv_num_put(8, buf, 4, 1, 200, false, CvNum{7, 200}, &msg), 0);
  EXPECT_EQ(msg, 200050u);
  // Brought to 30 decimals, 1 is 31 digits and fits; 10 is 32 and does not.
  ASSERT_EQ(cv_num_put(8, buf, 16, 1, 30, false, CvNum{1, 0}, &msg), 1);
  ASSERT_EQ(cv_num_get(8, buf, 16, 30, false, &n), 1);
  EXPECT_EQ(to_text(n.value), "1" + std::string(30, '0'));
  msg = 0;
  EXPECT_EQ(cv_num_put(8, buf, 16, 2, 30, false, CvNum{10, 0}, &msg), 0);
  EXPECT_EQ(msg, 200050u);
  ASSERT_EQ(cv_num_put(12, buf, 9, 15, 15, true, CvNum{5, 0}, &msg), 1);
  EXPECT_EQ(cv_num_get(12, buf, 9, 0, true, &n), 1);
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(cv_num_get(12, buf, 8, 0, true, &n), 0);
  EXPECT_EQ(cv_num_put(12, buf, 8, 15, 15, true, CvNum{5, 0}, &msg), 0);
  EXPECT_EQ(buf[0], 0xEE);
}

TEST(NumStored, UniversalText) {
  CvNum n;
  uint32_t msg;
  ASSERT_EQ(cv_num_universal(" -12.50 ", 8, &n, &msg), 1);
  EXPECT_TRUE(n.value == -1250 && n.scale == 2);
  EXPECT_EQ(cv_num_universal("1,250", 5, &n, &msg), 0);
  EXPECT_EQ(cv_num_universal("(5)", 3, &n, &msg), 0);
  char out[12];
  ASSERT_EQ(cv_num_to_universal(CvNum{-5, 3}, out, 12), 1);
  EXPECT_EQ(std::string(out, 12), "-0.005      ");
  ASSERT_EQ(cv_num_to_universal(CvNum{1200, 0}, out, 4), 1);
  EXPECT_EQ(std::string(out, 4), "1200");
  EXPECT_EQ(cv_num_to_universal(CvNum{12000, 0}, out, 4), 0);
  // Magnitudes on both sides of 64 bits (the digits are written with 64-bit
  // divides below it), at scales 0, 3 and 31.
  const i128 u64 = i128(UINT64_MAX), e19 = i128(10000000000000000000ULL);
  for (i128 v : {u64, u64 + 1, e19 - 1, e19, e19 * 100000000000LL + 7, -(e19 * 1000000000000LL - 1)})
    for (int scale : {0, 3, 31}) {
      std::string d = to_text(v < 0 ? -v : v);
      if (int(d.size()) <= scale) d.insert(0, size_t(scale + 1) - d.size(), '0');
      if (scale) d.insert(d.size() - size_t(scale), ".");
      if (v < 0) d.insert(0, "-");
      char big[48];
      ASSERT_EQ(cv_num_to_universal(CvNum{v, scale}, big, 48), 1);
      EXPECT_EQ(std::string(big, 48), d + std::string(48 - d.size(), ' '));
    }
}

// ------------------------------------------------------------------ alpha --

namespace {
std::string alp(const char* text, int len, const char* before, const char* mask, int justify, int fill,
                int squeeze, int case_code, uint32_t* msg = nullptr) {
  std::string t(before);
  uint32_t m = 0;
  int ok = alp_etoi(text, int(std::strlen(text)), t.data(), len, mask, mask ? int(std::strlen(mask)) : 0,
                    justify, fill, squeeze, case_code, &m);
  if (msg) *msg = m;
  return (ok ? "" : "!") + t;
}
}  // namespace

TEST(Alpha, JustificationFillSqueezeAndCase) {
  const char* ten = "          ";
  EXPECT_EQ(alp("  AB", 10, ten, nullptr, 1, '*', '0', 0), "AB********");
  EXPECT_EQ(alp("  AB", 10, ten, nullptr, 2, '*', '0', 0), "********AB");
  EXPECT_EQ(alp("  AB", 10, ten, nullptr, 0, ' ', '0', 0), "  AB      ");
  EXPECT_EQ(alp("AB", 10, ten, nullptr, 4, '-', '0', 0), "----AB----");
  EXPECT_EQ(alp("12", 4, "    ", nullptr, 2, '0', '0', 0), "0012");
  EXPECT_EQ(alp("  new   york  ", 10, ten, nullptr, 0, ' ', '1', 4), "New York  ");
  EXPECT_EQ(alp("ab ~  cd", 10, ten, nullptr, 0, ' ', '1', 1), "AB~CD     ");
  EXPECT_EQ(alp("MiXeD", 10, ten, nullptr, 0, ' ', '0', 3), "mixed     ");
  uint32_t msg;
  EXPECT_EQ(alp("ABCDE", 4, "xxxx", nullptr, 1, ' ', '0', 0, &msg), "!xxxx");
  EXPECT_EQ(msg, 200050u);
  EXPECT_EQ(alp("a    b c d e", 8, "xxxxxxxx", nullptr, 0, ' ', '1', 0, &msg), "!xxxxxxxx");
  EXPECT_EQ(msg, 200050u);
  // Centred with an odd room: the extra blank goes right.
  EXPECT_EQ(alp("ABC", 10, ten, nullptr, 4, '-', '0', 0), "---ABC----");
  // As typed: the text keeps its place, and must end within the field.
  EXPECT_EQ(alp("  AB", 4, "xxxx", nullptr, 0, ' ', '0', 0), "  AB");
  EXPECT_EQ(alp("  AB", 3, "xxx", nullptr, 0, ' ', '0', 0, &msg), "!xxx");
  EXPECT_EQ(msg, 200050u);
  // ISO 8859-1 case at the ends of the accented ranges: the multiplication
  // and division signs, sharp s and y with diaeresis have no other case.
  EXPECT_EQ(alp("\xC0\xD7\xDE\xDF", 4, "    ", nullptr, 0, ' ', '0', 3), "\xE0\xD7\xFE\xDF");
  EXPECT_EQ(alp("\xE0\xF7\xFE\xFF", 4, "    ", nullptr, 0, ' ', '0', 1), "\xC0\xF7\xDE\xFF");
}

TEST(Alpha, EditMaskPositions) {
  uint32_t msg;
  EXPECT_EQ(alp("12", 2, "  ", "##", 0, ' ', '0', 0), "12");
  EXPECT_EQ(alp("1A", 2, "  ", "##", 0, ' ', '0', 0, &msg), "!  ");
  EXPECT_EQ(msg, 300080u);
  EXPECT_EQ(alp("1 ", 2, "  ", "##", 0, ' ', '0', 0), "1 ");  // nothing typed after the blank
  EXPECT_EQ(alp("A1-b", 4, "    ", "&&!@", 0, ' ', '0', 0), "A1-b");
  EXPECT_EQ(alp("A1-1", 4, "    ", "&&!@", 0, ' ', '0', 0, &msg), "!    ");
  EXPECT_EQ(alp("1 x", 2, "  ", "##", 0, ' ', '0', 0, &msg), "!  ");  // typed past the field
  EXPECT_EQ(msg, 200050u);
  // '*' positions keep the stored characters, whatever is typed there.
  EXPECT_EQ(alp("12x34", 5, "  -  ", "##*##", 0, ' ', '0', 0), "12-34");
  EXPECT_EQ(alp("ab", 2, "  ", "@@", 0, ' ', '0', 1), "AB");  // case before the check
  EXPECT_EQ(alp("\xD1t\xE9", 3, "   ", "@@@", 0, ' ', '0', 0), "\xD1t\xE9");  // accented letters
  EXPECT_EQ(alp("ab", 2, "  ", "#?", 0, ' ', '0', 0, &msg), "!  ");
  EXPECT_EQ(msg, 200090u);
  char blank[60];
  std::memset(blank, ' ', 60);
  EXPECT_TRUE(BLANK_MSK(blank));
  blank[59] = '#';
  EXPECT_FALSE(BLANK_MSK(blank));
}

TEST(Logic, DisplayAndEntry) {
  EXPECT_EQ(cv_log_itoe('1'), 'Y');
  EXPECT_EQ(cv_log_itoe('0'), 'N');
  EXPECT_EQ(cv_log_itoe(' '), ' ');
  EXPECT_EQ(cv_log_itoe('x'), ' ');
  char c = 'x';
  uint32_t msg = 0;
  for (auto [t, want] : {std::pair<const char*, char>{"Y", '1'}, {"y", '1'}, {"1", '1'}, {" N ", '0'},
                         {"0", '0'}, {"", ' '}, {"  ", ' '}}) {
    ASSERT_EQ(cv_log_etoi(t, int(std::strlen(t)), &c, &msg), 1) << t;
    EXPECT_EQ(c, want) << t;
  }
  c = 'x';
  EXPECT_EQ(cv_log_etoi("YES", 3, &c, &msg), 0);
  EXPECT_EQ(msg, 200080u);
  EXPECT_EQ(cv_log_etoi("2", 1, &c, &msg), 0);
  EXPECT_EQ(c, 'x');
  // Localized characters.
  com.log_true = 'J';
  EXPECT_EQ(cv_log_etoi("j", 1, &c, &msg), 1);
  EXPECT_EQ(c, '1');
  EXPECT_EQ(cv_log_itoe('1'), 'J');
  com.log_true = 'Y';
}

// ------------------------------------------------- masks with literals --

namespace {
std::string etoi_msk(const char* mask, const std::string& text, uint32_t* msg = nullptr) {
  // The text in a buffer of its own length, so that a read past either end
  // shows in the sanitizer build.
  std::vector<char> t(text.begin(), text.end());
  CvNum n{0, 0};
  uint32_t m = 0;
  if (!cv_num_etoi_msk(mask, int(std::strlen(mask)), t.data(), int(t.size()), &n, &m)) {
    if (msg) *msg = m;
    return "!";
  }
  return to_text(n.value) + "@" + std::to_string(n.scale);
}
}  // namespace

// A literal after an '8' position stands at most at its own place: the
// text is never read before its start, however short.
TEST(NumEntry, LiteralsAfterEightPositionsStayInTheText) {
  Separators sep('.', ',', "$");
  EXPECT_EQ(etoi_msk("88/88/88", "12/34/56"), "123456@0");
  EXPECT_EQ(etoi_msk("88/88/88", "1/34/56"), "13456@0");
  EXPECT_EQ(etoi_msk("8A88", "1"), "1@0");
  EXPECT_EQ(etoi_msk("8A88", "A"), "0@0");
  EXPECT_EQ(etoi_msk("8-8\\.8", "7"), "7@0");
  // A literal '-' between '8' positions moves by the leading zeros dropped
  // before it, not by those dropped before later literals.
  std::string shown = itoe("8\\-888x::", 48, 0);
  EXPECT_EQ(shown, "-48x::  ");
  EXPECT_EQ(etoi_msk("8\\-888x::", shown), "48@0");
}

// Random masks with literals, '8' positions and the currency, and random
// texts of every length up to past the mask's: every mask parser stays in
// bounds (run under the sanitizers), and what a number shows reads back.
TEST(NumFuzz, MasksWithLiteralsAndShortTexts) {
  const char* seed = std::getenv("QUVO_FUZZ_SEED");  // another seed for a longer hunt
  std::mt19937 rng(seed ? unsigned(std::strtoul(seed, nullptr, 10)) : 20261207u);
  const char mask_chars[] = "9Z0*8888.,-()<>$$\\/Ax%: Ek";
  const char text_chars[] = " 0123456789.,-+()<>$*/Ax%:EUR";
  int shown = 0;
  for (const char* cur : {"$", "EUR", "kr", "Fr."}) {
    Separators sep('.', ',', cur);
    for (int k = 0; k < 20000; ++k) {
      std::string mask;
      int mlen = 1 + int(rng() % 16);
      for (int i = 0; i < mlen; ++i) mask += mask_chars[rng() % (sizeof mask_chars - 1)];
      std::vector<char> mbuf(mask.begin(), mask.end());
      CvNumMsk mm{mbuf.data(), int(mbuf.size()), {}, 0};
      int good = cv_num_msk(&mm);
      for (int j = 0; j < 4; ++j) {
        std::string t;
        int tlen = int(rng() % uint32_t(mlen + 4));
        for (int i = 0; i < tlen; ++i) t += text_chars[rng() % (sizeof text_chars - 1)];
        std::vector<char> tbuf(t.begin(), t.end());
        CvNum n;
        uint32_t msg = 0;
        cv_num_etoi_msk(mbuf.data(), int(mbuf.size()), tbuf.data(), int(tbuf.size()), &n, &msg);
        char target[8] = {};
        std::vector<char> abuf(mask.begin(), mask.end());
        alp_etoi(tbuf.data(), int(tbuf.size()), target, int(rng() % 8) + 1, abuf.data(), int(abuf.size()), 0, ' ',
                 '0', 0, &msg);
      }
      if (!good) continue;
      i128 limit = 1;
      for (int i = 0; i < mm.facts.int_digits + mm.facts.decimals && i < 18; ++i) limit *= 10;
      i128 v = i128(rng() % uint64_t(limit));
      if (mm.facts.sign && (rng() & 1)) v = -v;
      std::vector<char> out(size_t(mm.width));
      if (!num_itoe(mbuf.data(), int(mbuf.size()), CvNum{v, mm.facts.decimals}, out.data(), int(out.size())))
        continue;
      ++shown;
      CvNum back;
      uint32_t msg = 0;
      ASSERT_EQ(cv_num_etoi_msk(mbuf.data(), int(mbuf.size()), out.data(), int(out.size()), &back, &msg), 1)
          << cur << " '" << mask << "' '" << std::string(out.data(), out.size()) << "' " << to_text(v);
      i128 got = back.value;
      for (int s = back.scale; s < mm.facts.decimals; ++s) got *= 10;
      ASSERT_TRUE(got == v) << cur << " '" << mask << "' '" << std::string(out.data(), out.size()) << "' "
                            << to_text(v) << " " << to_text(back.value);
    }
  }
  EXPECT_GT(shown, 3000);
}

// A leading sign or currency floats next to the number over blank cells; a
// literal before it stays in place, one between it and the number holds it.
TEST(NumMask, LeadingSignFloatsPastALiteralBeforeIt) {
  {
    Separators sep('.', ',', "$");
    EXPECT_EQ(itoe("X$ZZZ9", 4, 0), "X   $4");
    EXPECT_EQ(itoe("X-ZZZ9", -4, 0), "X   -4");
    EXPECT_EQ(itoe("-/ZZ9", -4, 0), "-/  4");     // a literal between: no float
    EXPECT_EQ(itoe("-/$ZZ9", -4, 0), "-/  $4");   // the currency after it still floats
    EXPECT_EQ(itoe("A(ZZ9)", -4, 0), "A  (4)");
  }
  Separators sep('.', ',', "EUR");
  EXPECT_EQ(itoe("EUR -ZZZ,ZZ9.99", -400, 2), "EUR       -4.00");
  EXPECT_EQ(etoi_msk("EUR -ZZZ,ZZ9.99", "EUR       -4.00"), "-400@2");
}

// A currency symbol longer than the mask's '$' positions is shown whole
// where there is room, else cut to the positions; entry takes both.
TEST(NumMask, LongCurrencySymbolShowsWholeOrCutAndReadsBack) {
  Separators sep('.', ',', "EUR");
  struct Case {
    const char* mask;
    long long value;
    const char* text;
  } cases[] = {
      {"$ZZZ,ZZ9.99-", 9925, "   EUR99.25 "},
      {"$ZZZ,ZZ9.99-", 99999999, "E999,999.99 "},  // no room: cut
      {"-$ZZZ,ZZ9.99", -9925, "   -EUR99.25"},
      {"-$ZZZ,ZZ9.99", -1234567, " -E12,345.67"},  // room for the sign, not the symbol
      {"$***,**9.99", 9925, "EUR***99.25"},     // over the cheque-protect fill
      {"$***,**9.99", 99999999, "E999,999.99"},
      {"ZZ9.99$", 25, " .25EUR"},               // the number moves left
      {"ZZ9.99$", 9925, " 99.25E"},
      {"Z9.99$", 9925, "99.25E"},
      {"$$$$ZZ9", 5, "   EUR5"},               // more '$' than the symbol
      {"$ZZ9", 0, "EUR "},                      // a zero shows nothing to float to
      {"$Z", 0, "E "},                          // no room right of it: cut
      {"$ZZ9.99", 500, "EUR5.00"},              // room for just the whole symbol
      {"$ZZ9.99", 1500, " E15.00"},             // one cell short
      {"ZZ9.99$", 525, "5.25EUR"},
  };
  for (const Case& c : cases) {
    std::string shown = itoe(c.mask, c.value, std::strchr(c.mask, '.') ? 2 : 0);
    EXPECT_EQ(shown, c.text) << c.mask << " " << c.value;
    uint32_t msg = 0;
    std::string back = etoi_msk(c.mask, shown, &msg);
    EXPECT_EQ(back, to_text(c.value) + "@" + (std::strchr(c.mask, '.') ? "2" : "0")) << c.mask << " '" << shown
                                                                                     << "' " << msg;
  }
}

// A symbol that ends in the decimal point, cut before it, reads back as the
// cut one.
TEST(NumMask, CutSymbolBeforeThePointReadsBack) {
  Separators sep('.', ',', "Fr.");
  std::string shown = itoe("$$.99", 50, 2);
  EXPECT_EQ(shown, "Fr.50");
  EXPECT_EQ(etoi_msk("$$.99", shown), "50@2");
  shown = itoe("$$$ZZ9.99", 50, 2);
  EXPECT_EQ(shown, "   Fr..50");
  EXPECT_EQ(etoi_msk("$$$ZZ9.99", shown), "50@2");
  EXPECT_EQ(etoi_msk("$$9", "Fr.5"), "5@0");  // the whole symbol, when the number fits the mask
}

// A text without a digit is zero only when it holds nothing but blanks, the
// '*' fill and the currency; a point or a sign alone is refused everywhere.
TEST(NumEntry, NoDigitIsRefusedUnlessBlank) {
  Separators sep('.', ',', "$");
  for (const char* t : {".", " . ", "$.", "*.*", ".$", "-.", "(.)"}) {
    CvNum n;
    uint32_t msg = 0;
    EXPECT_EQ(cv_num_etoi(t, int(std::strlen(t)), &n, &msg), 0) << t;
    EXPECT_EQ(msg, 100350u) << t;
    msg = 0;
    EXPECT_EQ(cv_num_etoi_msk("$ZZ9.99-", 8, t, int(std::strlen(t)), &n, &msg), 0) << t;
    EXPECT_EQ(msg, 100350u) << t;
  }
  for (const char* t : {".", " . ", "-.", "+"}) {
    CvNum n;
    uint32_t msg = 0;
    EXPECT_EQ(cv_num_universal(t, int(std::strlen(t)), &n, &msg), 0) << t;
    EXPECT_EQ(msg, 100350u) << t;
  }
  for (const char* t : {"", "  ", "$", "***", " $ ** "}) {
    CvNum n{5, 5};
    uint32_t msg = 0;
    ASSERT_EQ(cv_num_etoi(t, int(std::strlen(t)), &n, &msg), 1) << t;
    EXPECT_TRUE(n.value == 0) << t;
  }
}
