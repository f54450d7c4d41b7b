// Values of defined fields as people write them, against the stored forms
// worked out by hand (little-endian binaries, packed decimal, dates).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "foundation/bi.h"
#include "model.h"
#include "srcform.h"
#include "value.h"

namespace {

std::vector<uint8_t> enc(const qg::FieldForm& s, const std::string& text, std::string* why = nullptr) {
  std::vector<uint8_t> out(size_t(s.len), 0xEE);
  std::string w;
  if (!qg::encode_value(s, text, out.data(), &w)) {
    if (why) *why = w;
    return {};
  }
  return out;
}

TEST(GenValue, NumbersDatesAndLogic) {
  bi_init_com();
  qg::FieldForm bin2{5, 0, 2, 1, false, 2, false};
  EXPECT_EQ(enc(bin2, "1.5"), (std::vector<uint8_t>{150, 0}));  // two decimals: 150
  std::string why;
  EXPECT_TRUE(enc(bin2, "1.555", &why).empty());
  EXPECT_EQ(why, "more decimal digits than the field's 2");
  EXPECT_TRUE(enc(bin2, "-1", &why).empty());  // unsigned
  qg::FieldForm sbin4{5, 0, 4, 1, true, 0, false};
  EXPECT_EQ(enc(sbin4, "-1"), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(enc(sbin4, "2147483647"), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x7F}));
  EXPECT_TRUE(enc(sbin4, "2147483648").empty());
  EXPECT_TRUE(enc(sbin4, "12a").empty());

  qg::FieldForm pk{8, 0, 3, 1, true, 2, false};
  EXPECT_EQ(enc(pk, "-12.5"), (std::vector<uint8_t>{0x01, 0x25, 0x0D}));  // 1250-
  EXPECT_EQ(enc(pk, "7"), (std::vector<uint8_t>{0x00, 0x70, 0x0C}));
  EXPECT_TRUE(enc(pk, "123456").empty());  // 12345600 needs 8 digits, 3 bytes hold 5
  qg::FieldForm upk{8, 0, 3, 1, false, 2, false};  // unsigned: no negative value
  EXPECT_TRUE(enc(upk, "-12.5", &why).empty());
  EXPECT_EQ(why, "out of range for an unsigned packed field (give it \"signed\"): -12.5");
  EXPECT_EQ(enc(upk, "-0"), (std::vector<uint8_t>{0x00, 0x00, 0x0C}));
  qg::FieldForm dec{12, 0, 9, 1, true, 0, false};
  std::vector<uint8_t> d = enc(dec, "3.25");
  ASSERT_EQ(d.size(), 9u);
  EXPECT_EQ(d[7], 0x5C);
  EXPECT_EQ(d[8], 2);  // the scale

  qg::FieldForm lg{11, 0, 1, 1, false, 0, false};
  EXPECT_EQ(enc(lg, "Yes"), std::vector<uint8_t>{'1'});
  EXPECT_EQ(enc(lg, "N"), std::vector<uint8_t>{'0'});
  EXPECT_TRUE(enc(lg, "maybe").empty());

  qg::FieldForm bd{7, 0, 8, 1, false, 0, false};
  ASSERT_EQ(qg::date_range(&bd, ""), "");
  // 1970-01-01 is day 719,163; 12:30 is 4,500,000 hundredths.
  EXPECT_EQ(enc(bd, "1970-01-01 12:30"), (std::vector<uint8_t>{0x3B, 0xF9, 0x0A, 0x00, 0x20, 0xAA, 0x44, 0x00}));
  EXPECT_TRUE(enc(bd, "2025-02-29", &why).empty());
  EXPECT_EQ(why, "no such date or time: 2025-02-29");
  EXPECT_TRUE(enc(bd, "29.02.2024").empty());
  qg::FieldForm std8{15, 0, 8, 1, false, 0, false};
  ASSERT_EQ(qg::date_range(&std8, ""), "");
  EXPECT_EQ(enc(std8, "2024-02-29 23:59:58.99"), (std::vector<uint8_t>{20, 24, 2, 29, 23, 59, 58, 99}));
  // A text date whose mask gives its length: the digits of its units.
  qg::FieldForm txt{4, 0, 0, 1, false, 0, false};
  ASSERT_EQ(qg::date_range(&txt, "0807-06-05"), "");
  EXPECT_EQ(txt.len, 8);
  EXPECT_EQ(enc(txt, "2024-02-29"), (std::vector<uint8_t>{'2', '0', '2', '4', '0', '2', '2', '9'}));
  // A packed date of 5 bytes: century to day, the sign nibble last.
  qg::FieldForm pd{10, 0, 5, 1, false, 0, false};
  ASSERT_EQ(qg::date_range(&pd, ""), "");
  EXPECT_EQ(enc(pd, "2024-02-29"), (std::vector<uint8_t>{0x02, 0x02, 0x40, 0x22, 0x9C}));
  // A binary date of 4 bytes holds no time.
  qg::FieldForm b4{7, 0, 4, 1, false, 0, false};
  ASSERT_EQ(qg::date_range(&b4, ""), "");
  EXPECT_EQ(enc(b4, "1970-01-02"), (std::vector<uint8_t>{0x3C, 0xF9, 0x0A, 0x00}));
  EXPECT_TRUE(enc(b4, "1970-01-02 10:00", &why).empty());
  EXPECT_EQ(why, "the field holds no unit below 5 (1970-01-02 10:00)");
  qg::FieldForm bad{4, 0, 0, 1, false, 0, false};
  EXPECT_EQ(qg::date_range(&bad, "09-12"), "mask: bad unit \"09\" (units are 0N or NN, N 8 century .. 1 hundredths)");

  EXPECT_EQ(qg::form_check({5, 0, 3, 1, false, 0, false}), "a binary field is 1, 2 or 4 bytes");
  EXPECT_EQ(qg::form_check({1, 0, 3, 1, false, 2, false}), "only numbers have decimals");
}

// Bounded fuzz of the reader: spoiled sources are read or refused, every
// refusal names a place inside the text, nothing crashes (sanitizer builds).
TEST(GenValue, SpoiledTextsAreReadOrRefusedWithAPlace) {
  const std::string base =
      "process QUVO MENU\n  proc_type = menu\n  title = \"A \"\"quoted\"\" title\"\nframe 1\n  mode = 1\n"
      "image 1\nscreen\n| row @A__ |\n|  @B_     |\nend screen\nitem A\n  field = X\nitem B\n  field = Y\n"
      "option 1 = ERROR MESSAGE\n";
  const std::string defs = "file F disk\n  K = alpha 4 key 0\n  N = binary 2 x 3 initial \"5\" null \"\"\nwork\n  W = packed 4 decimals 2\n";
  std::mt19937 rng(20261207);
  const char alphabet[] = "|@_=\"# \nabcXY1-[]";
  for (int i = 0; i < 3000; ++i) {
    for (const std::string* src : {&base, &defs}) {
      std::string s = *src;
      int edits = 1 + int(rng() % 4);
      for (int e = 0; e < edits; ++e) {
        size_t at = rng() % (s.size() + 1);
        switch (rng() % 3) {
          case 0: s.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
          case 1: if (at < s.size()) s.erase(at, 1 + rng() % 3); break;
          default: if (at < s.size()) s[at] = char(rng() % 256); break;
        }
      }
      qg::Errors errs;
      qg::Text t;
      qg::TextKind k = src == &base ? qg::TextKind::Process : qg::TextKind::Defs;
      qg::parse_text("f", s, k, &t, &errs);
      int lines = 1 + int(std::count(s.begin(), s.end(), '\n'));
      for (const qg::Error& e : errs.list) {
        ASSERT_GE(e.at.line, 1) << e.str();
        ASSERT_LE(e.at.line, lines) << e.str();
        ASSERT_GE(e.at.col, 1) << e.str();
      }
      if (k == qg::TextKind::Defs)
        for (const qg::Block& b : t.blocks)
          for (const qg::Entry& en : b.entries) {
            qg::FieldDef f;
            qg::parse_field_form(en, false, &f, &errs);
          }
    }
  }
}

}  // namespace
