// Values of the dictionary compiler against independent models: text to
// binary (128-bit arithmetic), the images of every data type (<chrono>
// dates, a packed decoder of the test's own), alpha placement of every
// justification, storage from masks, and BITMAP numbers.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <set>

#include "dictionary/dd_support.h"
#include "foundation/cvdat.h"
#include "support/syserr.h"

using namespace ddt;

namespace {

// A run of the compiler's routines outside dd_cmpl: its pool, message files
// (target TST 00 UNIT) and design files.
struct ValRun : ::testing::Test {
  DictTempDir dir;
  SysErrCapture errs{SysErrAnswer::Cancel};
  Compiler c;
  DdRun r;
  void SetUp() override {
    std::memcpy(r.app, "TST", 3);
    std::memcpy(r.ver, "00", 2);
    std::memcpy(r.name, "UNIT    ", 8);
    r.pool = mm_create_pool(" DDT_RUN   ", 0, 0);
    r.msg1 = c.m1;
    r.msg2 = c.m2;
    auto* h = static_cast<DMsg1*>(MM_ALLOC(r.pool, sizeof(DMsg1)));
    std::memset(h, 0, sizeof *h);
    std::memcpy(h, Compiler::target("UNIT").data(), 13);
    PROTO_FULL(c.m1, 0, reinterpret_cast<uint8_t*>(h));
    ASSERT_TRUE(fm_write(c.m1));
  }
  void TearDown() override { mm_destroy_pool(r.pool); }
  std::vector<uint32_t> take_msgs() {
    auto n = c.numbers("UNIT");
    auto* h = static_cast<DMsg1*>(MM_ALLOC(r.pool, sizeof(DMsg1)));
    std::memset(h, 0, sizeof *h);
    std::memcpy(h, Compiler::target("UNIT").data(), 13);
    fm_del_all(c.m2);
    return n;
  }
};

// An element of the given type and length at offset `off`.
DdMelem element(int type, int len, int off = 0) {
  DdMelem m;
  std::memset(&m, 0, sizeof m);
  DElem& e = m.e;
  std::memset(&e, ' ', sizeof e);
  e.name.set("F");
  e.kind = 1;
  e.type = uint8_t(type);
  e.length = uint16_t(len);
  e.occurs = 1;
  e.offset = uint16_t(off);
  e.token_mark = 0;
  e.justify = 0;
  e.fill = ' ';
  e.squeeze = '0';
  e.sign = '0';
  e.digits = 0;
  e.decimals = 0;
  m.segs = 1;
  return m;
}

// The model of text to binary: 128-bit, no limit on digits.
struct BinModel {
  uint32_t msg = 0;
  __int128 v = 0;
};
BinModel bin_model(const std::string& t, int decimals, int size, bool sign) {
  BinModel m;
  bool neg = false, point = false;
  int dec = 0;
  for (char c : t) {
    if (c >= '0' && c <= '9') {
      if (m.v < (__int128(1) << 100)) m.v = m.v * 10 + (c - '0');
      if (point) ++dec;
    } else if (c == '-') {
      neg = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      m.msg = 100350;
      return m;
    }
  }
  if (dec > decimals) {
    m.msg = 100790;
    return m;
  }
  for (; dec < decimals; ++dec) m.v *= 10;
  if (neg) m.v = -m.v;
  if (neg && !sign && m.v != 0) {
    m.msg = 100550;
    return m;
  }
  int bits = size == 1 ? 8 : size == 2 ? 16 : 32;
  __int128 lo = sign ? -(__int128(1) << (bits - 1)) : 0;
  __int128 hi = sign ? (__int128(1) << (bits - 1)) - 1 : (__int128(1) << bits) - 1;
  if (m.v < lo || m.v > hi) m.msg = 100680;
  return m;
}

TEST(DdValues, BinEtoiAgreesWithA128BitModel) {
  std::mt19937 rng(20261207);
  const char alphabet[] = "0123456789999999.-x ";
  // worked examples first
  struct Case {
    const char* t;
    int dec, size;
    bool sign;
    uint32_t msg;
    int64_t v;
  } cases[] = {{"1.5", 2, 2, false, 0, 150},   {"300", 0, 1, false, 100680, 0}, {"255", 0, 1, false, 0, 255},
               {"256", 0, 1, false, 100680, 0}, {"-128", 0, 1, true, 0, -128},  {"-129", 0, 1, true, 100680, 0},
               {"-1", 0, 2, false, 100550, 0},  {"1.234", 2, 4, true, 100790, 0}, {"12a", 0, 4, true, 100350, 0},
               {"4294967295", 0, 4, false, 0, 4294967295LL}, {"4294967296", 0, 4, false, 100680, 0},
               {"-2147483648", 0, 4, true, 0, INT32_MIN}, {"-2147483649", 0, 4, true, 100680, 0},
               {"99999999999999999999", 0, 4, true, 100680, 0}};
  for (const Case& k : cases) {
    uint8_t out[4] = {};
    uint32_t msg = 0;
    int64_t v = 0;
    int ok = bin_etoi(k.t, out, k.dec, int(std::strlen(k.t)), k.size, k.sign, &msg, &v);
    SCOPED_TRACE(k.t);
    EXPECT_EQ(ok, k.msg == 0);
    EXPECT_EQ(msg, k.msg);
    if (ok) {
      EXPECT_EQ(v, k.v);
    }
  }
  for (int i = 0; i < 20000; ++i) {
    std::string t;
    int n = int(rng() % 14);
    for (int j = 0; j < n; ++j) t += alphabet[rng() % (sizeof alphabet - 2)];
    int dec = int(rng() % 4), size = int(rng() % 3 == 0 ? 1 : rng() % 2 ? 2 : 4);
    bool sign = rng() % 2;
    BinModel m = bin_model(t, dec, size, sign);
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    uint32_t msg = 0;
    int ok = bin_etoi(t.data(), out, dec, int(t.size()), size, sign, &msg);
    SCOPED_TRACE(t + " dec " + std::to_string(dec) + " size " + std::to_string(size));
    ASSERT_EQ(msg, m.msg);
    ASSERT_EQ(ok, m.msg == 0);
    if (!ok) continue;
    int64_t got = 0;
    for (int b = 0; b < size; ++b) got |= int64_t(out[b]) << (8 * b);
    if (sign && got >= (int64_t(1) << (8 * size - 1))) got -= int64_t(1) << (8 * size);
    ASSERT_EQ(__int128(got), m.v);
    for (int b = size; b < 4; ++b) ASSERT_EQ(out[b], 0xAA) << "written past the size";
  }
}

// Packed decimal of the test's own: value and sign from the nibbles.
__int128 unpack(const uint8_t* p, int len) {
  __int128 v = 0;
  for (int i = 0; i < len * 2 - 1; ++i) v = v * 10 + ((p[i / 2] >> (i % 2 ? 0 : 4)) & 15);
  return (p[len - 1] & 15) == com.pd_neg ? -v : v;
}

TEST_F(ValRun, ImagesOfEveryDataTypeAgreeWithModels) {
  std::vector<uint8_t> ini(64, ' '), nul(64, ' ');
  auto run = [&](DdMelem m, const std::string& init, const std::string& null_text) {
    m.e.initial.set(init);
    m.e.null_value.set(null_text);
    std::fill(ini.begin(), ini.end(), ' ');
    std::fill(nul.begin(), nul.end(), ' ');
    bool a = null_etoi_img(&r, &m, nul.data());
    bool b = init_etoi_img(&r, &m, ini.data(), nul.data());
    return a && b;
  };
  // binary: size 2 with 2 decimals; a token field's null is all bits set
  DdMelem b = element(5, 2, 4);
  b.e.decimals = 2;
  ASSERT_TRUE(run(b, "1.5", ""));
  EXPECT_EQ(ini[4] | ini[5] << 8, 150);
  EXPECT_EQ(nul[4] | nul[5] << 8, 0);
  b.e.sign = '1';
  ASSERT_TRUE(run(b, "", "-3"));
  EXPECT_EQ(int16_t(ini[4] | ini[5] << 8), -300) << "an empty initial value takes the null value";
  DdMelem one = element(5, 1, 0);
  EXPECT_FALSE(run(one, "300", ""));
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100680});
  EXPECT_EQ(ini[0], 0) << "nothing but the value written is stored";
  DdMelem tok = element(5, 2, 0);
  tok.e.token_mark = 3;
  ASSERT_TRUE(run(tok, "", ""));
  EXPECT_EQ(nul[0] & nul[1], 0xFF);
  // packed: 6 digits, 2 decimals; null -1 of a packed date
  DdMelem p = element(8, 4, 8);
  p.e.decimals = 2;
  ASSERT_TRUE(run(p, "-12.5", "7"));
  EXPECT_EQ(unpack(&ini[8], 4), -1250);
  EXPECT_EQ(unpack(&nul[8], 4), 7);
  EXPECT_FALSE(run(element(8, 2, 8), "", "123456")) << "a null value that does not fit";
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100460});
  EXPECT_TRUE(run(element(10, 5, 8), "", ""));
  EXPECT_EQ(unpack(&nul[8], 5), -1);
  // type 12: 8 bytes and the scale
  ASSERT_TRUE(run(element(12, 9, 0), "3.25", ""));
  EXPECT_EQ(unpack(&ini[0], 8), 325);
  EXPECT_EQ(ini[8], 2);
  EXPECT_FALSE(run(element(12, 9, 0), "x", ""));
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100380});
  // logic
  for (auto [t, want] : std::map<std::string, char>{{"Y", '1'}, {"1", '1'}, {"N", '0'}, {"0", '0'}}) {
    ASSERT_TRUE(run(element(11, 1, 3), t, ""));
    EXPECT_EQ(ini[3], want) << t;
  }
  EXPECT_TRUE(run(element(11, 1, 3), "Q", ""));
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100380}) << "a bad logic value is reported, the file goes on";
  EXPECT_TRUE(run(element(11, 1, 3), "YN", ""));
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100380}) << "one character, no more";
  // binary dates: 8 bytes are two words of all bits; the initial date is its
  // day number (<chrono>)
  DdMelem d8 = element(7, 8, 0);
  d8.e.mask.set("0807060504030201");
  d8.e.digits = 8;
  d8.e.decimals = 1;
  d8.segs = 2;
  ASSERT_TRUE(run(d8, "2024022912300000", ""));
  EXPECT_EQ(std::vector<uint8_t>(nul.begin(), nul.begin() + 8), std::vector<uint8_t>(8, 0xFF));
  using namespace std::chrono;
  auto days = sys_days{year{2024} / 2 / 29} - sys_days{year{1} / 1 / 1};
  uint32_t day = uint32_t(ini[0] | ini[1] << 8 | ini[2] << 16 | uint32_t(ini[3]) << 24);
  uint32_t hund = uint32_t(ini[4] | ini[5] << 8 | ini[6] << 16 | uint32_t(ini[7]) << 24);
  EXPECT_EQ(day, uint32_t(days.count() + 1));
  EXPECT_EQ(hund, uint32_t((12 * 60 + 30) * 60 * 100));
  EXPECT_TRUE(run(d8, "20240229123000009", ""));
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100380}) << "a date text of 17 characters";
  // a text date of year, month, day; a date that is none is reported
  DdMelem dt = element(4, 6, 10);
  dt.e.mask.set("07/06/05");
  dt.e.digits = 7;
  dt.e.decimals = 5;
  ASSERT_TRUE(run(dt, "--991231", ""));
  EXPECT_EQ(std::string(ini.begin() + 10, ini.begin() + 16), "991231");
  EXPECT_TRUE(run(dt, "--990230", ""));
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100380});
  EXPECT_EQ(std::string(ini.begin() + 10, ini.begin() + 16), "      ") << "the null value stays";
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

// Alpha placement, every justification, texts of 0-60 characters on fields of
// 1-60 bytes: the model places the text by its justification, clamped to the field.
TEST_F(ValRun, AlphaInitialValuesStayInsideTheirField) {
  std::mt19937 rng(7);
  for (int len = 1; len <= 60; ++len)
    for (int tl = 0; tl <= 60; tl += 1 + int(rng() % 3))
      for (int just = 0; just <= 4; ++just)
        for (char sq : {'0', '1'}) {
          std::string text;
          int lead = tl ? int(rng() % 4) : 0;
          text.assign(size_t(std::min(lead, tl)), ' ');
          while (int(text.size()) < tl) text += rng() % 5 ? char('A' + rng() % 26) : ' ';
          DdMelem m = element(1, len, 16);
          m.e.justify = uint8_t(just);
          m.e.fill = '*';
          m.e.squeeze = uint8_t(sq);
          m.e.initial.set(text);
          std::vector<uint8_t> ini(size_t(len) + 32, 0xEE), nul(size_t(len) + 32, 0xEE);
          std::memset(&nul[16], ' ', size_t(len));
          ASSERT_TRUE(init_etoi_img(&r, &m, ini.data(), nul.data()));
          for (int i = 0; i < 16; ++i) {
            ASSERT_EQ(ini[size_t(i)], 0xEE) << "before the field";
            ASSERT_EQ(ini[size_t(16 + len + i)], 0xEE) << "after the field";
          }
          // the model of blanks kept
          std::string t = text;
          t.erase(t.find_last_not_of(' ') == std::string::npos ? 0 : t.find_last_not_of(' ') + 1);
          int b = int(t.find_first_not_of(' ') == std::string::npos ? t.size() : t.find_first_not_of(' '));
          if (sq != '0' || t.empty()) continue;
          std::string want(size_t(len), '*');
          int n = int(t.size()) - b;
          if (len > b) {
            int start = just == 0 ? b : just == 1 ? 0 : just == 4 ? (len - n) / 2 : len - n;
            start = std::max(start, 0);
            int k = std::min({n, len - b, len - start});
            want.replace(size_t(start), size_t(k), t.substr(size_t(b), size_t(k)));
          }
          ASSERT_EQ(std::string(ini.begin() + 16, ini.begin() + 16 + len), want)
              << "text \"" << text << "\" length " << len << " justification " << just;
        }
  // two blanks and AB on 10 bytes, fill *
  DdMelem m = element(1, 10, 0);
  m.e.fill = '*';
  m.e.initial.set("  AB");
  std::vector<uint8_t> ini(10), nul(10, ' ');
  m.e.justify = 1;
  init_etoi_img(&r, &m, ini.data(), nul.data());
  EXPECT_EQ(std::string(ini.begin(), ini.end()), "AB********");
  m.e.justify = 2;
  init_etoi_img(&r, &m, ini.data(), nul.data());
  EXPECT_EQ(std::string(ini.begin(), ini.end()), "********AB");
  // a mask copies no more than the field
  m.e.mask.set(std::string(40, 'X'));
  m.e.initial.set(std::string(40, 'Q'));
  std::vector<uint8_t> big(30, 0xEE);
  init_etoi_img(&r, &m, big.data(), std::vector<uint8_t>(30, ' ').data());
  EXPECT_EQ(std::string(big.begin(), big.begin() + 10), std::string(10, 'Q'));
  EXPECT_EQ(big[10], 0xEE);
  // a mask as long as the field or shorter: its length of the text, blanks after
  for (auto [mask, want] : {std::pair<int, std::string>{10, "ABCDEFGHIJ"}, {4, "ABCD      "}}) {
    m.e.mask.set(std::string(size_t(mask), 'X'));
    m.e.initial.set("ABCDEFGHIJKL");
    init_etoi_img(&r, &m, ini.data(), nul.data());
    EXPECT_EQ(std::string(ini.begin(), ini.end()), want) << mask;
  }
  // squeezed: runs of blanks as one, the joining character takes its blanks
  m.e.mask.set("");
  m.e.squeeze = '1';
  m.e.initial.set(std::string("  A   B ") + char(com.join_char) + "  C");
  init_etoi_img(&r, &m, ini.data(), nul.data());
  EXPECT_EQ(std::string(ini.begin(), ini.end()), std::string("A B") + char(com.join_char) + "C     ");
}

// Storage from the domain's kind, storage code and mask.
TEST_F(ValRun, MasksGiveTypesLengthsDigitsAndSizes) {
  FmArb* tokens = open("INIT_DTOKEN_FDB");
  r.token = tokens;
  struct Case {
    int kind, storage;
    std::string mask;
    int type, len, digits, decimals;
    char sign;
    uint32_t msg;
  } cases[] = {
      {2, 1, "08070605", 7, 4, 8, 5, '0', 0},
      {2, 1, "08070605 04", 7, 8, 8, 4, '0', 0},
      {2, 2, "08070605", 10, 5, 8, 5, '0', 0},
      {2, 3, "07/06/05", 4, 6, 7, 5, '0', 0},
      {2, 1, "08/07/005", 6, 4, 8, 5, '0', 0},
      {2, 2, "0807005", 9, 5, 8, 5, '0', 0},
      {2, 1, "\"0\"DAY", 0, 0, 0, 0, '0', 102650},
      {2, 1, "12/34", 0, 0, 0, 0, '0', 102650},
      {1, 2, "ZZ9.99", 8, 2, 1, 2, '0', 0},
      {1, 1, "999", 5, 2, 3, 0, '0', 0},
      {1, 1, "99", 5, 1, 2, 0, '0', 0},
      {1, 1, "99-", 5, 1, 2, 0, '1', 0},
      {1, 1, "999-", 5, 2, 3, 0, '1', 0},
      {1, 1, "(99999)", 5, 4, 5, 0, '1', 0},
      {1, 1, "9999999999", 5, 4, 10, 0, '0', 0},
      {1, 2, "*,**8.09<>", 8, 4, 4, 2, '1', 0},
      {1, 2, "9999999999999999", 0, 0, 0, 0, '0', 102150},
      {1, 2, "999999999999999", 8, 8, 15, 0, '0', 0},
      {1, 3, "", 12, 9, 15, 15, '1', 0},
      {1, 1, "", 0, 0, 0, 0, '0', 100420},
      {1, 7, "99", 0, 0, 0, 0, '0', 102650},
      {3, 0, "", 11, 1, 0, 0, '0', 0},
      {4, 1, "XXXX  ", 1, 4, 0, 0, '0', 0},
      {5, 1, "", 0, 0, 0, 0, '0', 100100},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.mask + " kind " + std::to_string(k.kind) + " storage " + std::to_string(k.storage));
    DDomain d = domain("D", k.kind, k.storage, k.mask);
    d.kind = uint8_t(k.kind);
    DdMelem m = element(0, 0);
    bool ok = parse_msk(&r, &m, &d);
    auto msgs = take_msgs();
    EXPECT_EQ(ok, k.msg == 0);
    EXPECT_EQ(msgs, k.msg ? std::vector<uint32_t>{k.msg} : std::vector<uint32_t>{});
    if (!ok) continue;
    EXPECT_EQ(m.e.type, k.type);
    EXPECT_EQ(m.e.length, k.len);
    EXPECT_EQ(m.e.digits, k.digits);
    EXPECT_EQ(m.e.decimals, k.decimals);
    EXPECT_EQ(m.e.sign, k.sign);
  }
  // the null value widens a binary range, the domain's ranges narrow it
  DDomain d = domain("D", 1, 1, "99");
  d.kind = 1;
  d.null_value.set("999");
  DdMelem m = element(0, 0);
  ASSERT_TRUE(parse_msk(&r, &m, &d));
  EXPECT_EQ(m.e.length, 2);
  d = domain("D", 1, 1, "9999");
  d.kind = 1;
  d.rng_code1 = 4;
  d.rng_value1.set("200");
  ASSERT_TRUE(parse_msk(&r, &m, &d));
  EXPECT_EQ(m.e.length, 1) << "at most 200 fits one byte";
  d = domain("D", 1, 1, "999-");
  d.kind = 1;
  d.rng_code1 = 3;
  d.rng_value1.set("-1");
  d.rng_code2 = 5;
  d.rng_value2.set("100");
  ASSERT_TRUE(parse_msk(&r, &m, &d));
  EXPECT_EQ(m.e.length, 1) << "0..99 signed";
  d.null_value.set("x");
  EXPECT_FALSE(parse_msk(&r, &m, &d));
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100350});
  // each size at its limit and one past it, by the range codes: 1 exactly,
  // 2 at least, 3 more than, 4 at most, 5 less than
  struct Sized {
    const char* mask;
    int code1;
    const char* v1;
    int code2;
    const char* v2;
    int len;
  } sized[] = {{"9999", 4, "255", 255, "", 1},      {"9999", 4, "256", 255, "", 2},
               {"9999", 5, "256", 255, "", 1},      {"9999", 5, "257", 255, "", 2},
               {"999999", 4, "65535", 255, "", 2},  {"999999", 4, "65536", 255, "", 4},
               {"999-", 2, "-128", 4, "127", 1},    {"999-", 2, "-129", 4, "127", 2},
               {"999-", 3, "-129", 5, "128", 1},    {"999-", 2, "-128", 4, "128", 2},
               {"99999-", 2, "-32768", 4, "32767", 2}, {"99999-", 3, "-32768", 4, "32768", 4},
               {"999-", 1, "-5", 255, "", 1},       {"99999-", 1, "300", 255, "", 2}};
  for (const Sized& k : sized) {
    d = domain("D", 1, 1, k.mask);
    d.kind = 1;
    d.rng_code1 = uint8_t(k.code1);
    d.rng_value1.set(k.v1);
    d.rng_code2 = uint8_t(k.code2);
    d.rng_value2.set(k.v2);
    ASSERT_TRUE(parse_msk(&r, &m, &d));
    EXPECT_EQ(m.e.length, k.len) << k.mask << " " << k.code1 << " " << k.v1 << " " << k.code2 << " " << k.v2;
  }
  // alpha kinds 1-3 and tokens stored as numbers by their highest number
  struct Alpha {
    int akind;
    int len, cs, just;
    char entry, fill;
  } alphas[] = {{1, 4, 0, 2, '0', '0'}, {2, 3, 1, 1, '0', ' '}, {3, 256, 1, 1, '1', ' '}};
  for (const Alpha& a : alphas) {
    d = domain("A", 4, 1);
    d.kind = 4;
    d.alpha_kind = uint8_t(a.akind);
    ASSERT_TRUE(parse_msk(&r, &m, &d));
    EXPECT_EQ(m.e.length, a.len);
    EXPECT_EQ(m.e.case_code, a.cs);
    EXPECT_EQ(m.e.justify, a.just);
    EXPECT_EQ(m.e.entry_flag, a.entry);
    EXPECT_EQ(m.e.fill, a.fill);
  }
  d.alpha_kind = 7;
  EXPECT_FALSE(parse_msk(&r, &m, &d));
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100360});
  struct Tok {
    int high, len, digits;
  } toks[] = {{9, 1, 1}, {99, 1, 2}, {127, 1, 3}, {128, 2, 3}, {200, 2, 3}, {9999, 2, 4}, {32767, 2, 5},
              {99999, 4, 5}, {999999, 4, 6}, {1000000, 4, 10}};
  auto* t = static_cast<CvTokenRec*>(MM_ALLOC(r.pool, sizeof(CvTokenRec)));
  for (const Tok& k : toks) {
    std::memset(t, ' ', sizeof *t);
    t->cls = 0;
    t->group.set("TOK");
    t->number = k.high;
    t->text.set(std::to_string(k.high));
    PROTO_FULL(tokens, 0, reinterpret_cast<uint8_t*>(t));
    ASSERT_TRUE(fm_write(tokens));
    d = domain("TOK", 4, 2, "XX*X");
    d.kind = 4;
    ASSERT_TRUE(parse_msk(&r, &m, &d));
    EXPECT_EQ(m.e.type, 5);
    EXPECT_EQ(m.e.length, k.len) << k.high;
    EXPECT_EQ(m.e.digits, k.digits) << k.high;
    EXPECT_EQ(m.e.token_mark, 3);
  }
  // An initial value names its token by all 30 characters; a name not on
  // file stores all bits set.
  std::memset(t, ' ', sizeof *t);
  t->cls = 0;
  t->group.set("TOK");
  t->number = 77;
  t->text.set(std::string(29, 'T') + "U");
  PROTO_FULL(tokens, 0, reinterpret_cast<uint8_t*>(t));
  ASSERT_TRUE(fm_write(tokens));
  DdMelem tm = element(5, 2, 0);
  tm.e.token_mark = 3;
  tm.e.domain.set("TOK");
  uint8_t ti[2], tn[2] = {0, 0};
  for (auto [text, want] : {std::pair<std::string, int>{std::string(29, 'T') + "U", 77}, {"NONE", 0xFFFF}}) {
    tm.e.initial.set(text);
    ASSERT_TRUE(init_etoi_img(&r, &tm, ti, tn));
    EXPECT_EQ(ti[0] | ti[1] << 8, want) << text;
  }
  d.storage = 4;
  EXPECT_FALSE(parse_msk(&r, &m, &d));
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100560});
  r.token = nullptr;
  d.storage = 2;
  EXPECT_FALSE(parse_msk(&r, &m, &d));
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100780});
  FM_CLOSE(tokens, 0);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

// Numbers of a class: lowest free first, 1,200 of them with frees between,
// against a std::set of the numbers in use.
TEST_F(ValRun, BitFindGivesTheLowestFreeNumber) {
  FM_CLOSE(open("INIT_DBITMAP_FDB"), 0);
  uint32_t st = 0;
  r.bitmap = open_dsgn_fi(&r, "INIT_DBITMAP_FDB", "TST", "00", &st);
  ASSERT_NE(r.bitmap, nullptr);
  std::set<uint32_t> used;
  std::mt19937 rng(1200);
  uint32_t highest = 0;
  for (int i = 0; i < 1200; ++i) {
    uint32_t n = 0;
    ASSERT_EQ(bit_find(&r, &n, 7), 1);
    uint32_t want = 1;
    while (used.count(want)) ++want;
    ASSERT_EQ(n, want) << "step " << i;
    used.insert(n);
    highest = std::max(highest, n);
    if (i == 2) {
      EXPECT_EQ(used, (std::set<uint32_t>{1, 2, 3}));
    }
    if (rng() % 5 == 0 && used.size() > 3) {
      auto it = used.begin();
      std::advance(it, rng() % used.size());
      bit_free(&r, *it, 7);
      used.erase(it);
    }
  }
  // a number given and not above the highest is kept
  uint32_t keep = 5;
  ASSERT_EQ(bit_find(&r, &keep, 7), 1);
  EXPECT_EQ(keep, 5u);
  auto pages = all<DBitmap>("INIT_DBITMAP_FDB");
  ASSERT_GE(pages.size(), 3u);
  EXPECT_EQ(pages[0].highest, highest);
  // another class starts at 1; page 2 begins at 401
  uint32_t n = 0;
  ASSERT_EQ(bit_find(&r, &n, 8), 1);
  EXPECT_EQ(n, 1u);
  for (int i = 2; i <= 401; ++i) ASSERT_EQ(bit_find(&r, &(n = 0), 8), 1);
  EXPECT_EQ(n, 401u);
  bit_free(&r, 400, 8);  // the last number of page 1
  ASSERT_EQ(bit_find(&r, &(n = 0), 8), 1);
  EXPECT_EQ(n, 400u);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

// A class holds the numbers 1-999,999: the one-millionth would be the first
// number of the next class.
TEST_F(ValRun, AFullClassIsRefusedNotRunIntoTheNext) {
  FmArb* bm = open("INIT_DBITMAP_FDB");
  auto* b = static_cast<DBitmap*>(MM_ALLOC(r.pool, sizeof(DBitmap)));
  for (uint32_t page = 1; page <= 2500; ++page) {
    std::memset(b, 0, sizeof *b);
    b->cls = 4;
    b->page = page;
    b->highest = page == 1 ? 999998 : 0;
    std::memset(b->bits.data(), 0xFF, 50);
    if (page == 2500) b->bits.b[49] = 0x3F;  // 999,999 free and 1,000,000 (no number) free
    PROTO_FULL(bm, 0, reinterpret_cast<uint8_t*>(b));
    ASSERT_TRUE(fm_write(bm));
  }
  FM_CLOSE(bm, 0);
  uint32_t st = 0;
  r.bitmap = open_dsgn_fi(&r, "INIT_DBITMAP_FDB", "TST", "00", &st);
  uint32_t n = 0;
  ASSERT_EQ(bit_find(&r, &n, 4), 1);
  EXPECT_EQ(n, 999999u);
  EXPECT_TRUE(take_msgs().empty());
  n = 0;
  EXPECT_EQ(bit_find(&r, &n, 4), 0);
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100820});
  // Every bit of the last page set: the search stops before a page 2501.
  b->cls = 4;
  b->page = 2500;
  PROTO_FULL(r.bitmap, 0, reinterpret_cast<uint8_t*>(b));
  r.bitmap->op = FM_OP_EQUAL | FM_OP_HOLD | FM_OP_WAIT;
  ASSERT_TRUE(fm_read(r.bitmap));
  b->bits.b[49] = 0xFF;
  ASSERT_TRUE(fm_rewrite(r.bitmap));
  EXPECT_EQ(bit_find(&r, &(n = 0), 4), 0);
  EXPECT_EQ(take_msgs(), std::vector<uint32_t>{100820});
  EXPECT_EQ(all<DBitmap>("INIT_DBITMAP_FDB").size(), 2500u);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

// Writing a file's images deletes its old pieces and no other file's: the
// name is compared in all eight characters.
TEST_F(ValRun, ImagesReplaceTheirFilesPiecesOnly) {
  FmArb* init = open("INIT_DINIT_FDB");
  std::vector<uint8_t> a(10, 'A'), b(10, 'B');
  dd_write_images(&r, init, "FILEAAAA", a, a);
  dd_write_images(&r, init, "FILEAAAB", b, b);
  dd_write_images(&r, init, "FILEAAAA", a, a);
  FM_CLOSE(init, 0);
  EXPECT_EQ(image("FILEAAAA", 1), a);
  EXPECT_EQ(image("FILEAAAB", 1), b);
  EXPECT_EQ(image("FILEAAAB", 2), b);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

}  // namespace

namespace {

// Initial dates of every stored form against <chrono>: random days of
// 1600-2400 as universal text into text, binary and packed fields, Julian
// forms included.
TEST_F(ValRun, InitialDatesOfEveryFormAgreeWithChrono) {
  using namespace std::chrono;
  std::mt19937 rng(1582);
  const sys_days epoch = sys_days{year{1} / 1 / 1};
  struct Form {
    int type, len;
    const char* mask;
    int high, low;
  } forms[] = {{4, 8, "08070605", 8, 5},   {7, 4, "08070605", 8, 5}, {10, 5, "08070605", 8, 5},
               {3, 7, "0807005", 8, 5},    {6, 4, "0807005", 8, 5},  {9, 5, "0807005", 8, 5}};
  for (int i = 0; i < 300; ++i) {
    sys_days day = sys_days{year{1600} / 1 / 1} + days{int(rng() % 292000)};
    year_month_day ymd{day};
    int y = int(ymd.year()), m = int(unsigned(ymd.month())), d = int(unsigned(ymd.day()));
    int doy = int((day - sys_days{ymd.year() / 1 / 1}).count()) + 1;
    char text[17];
    std::snprintf(text, sizeof text, "%04d%02d%02d", y, m, d);
    for (const Form& f : forms) {
      DdMelem e = element(f.type, f.len, 0);
      e.e.mask.set(f.mask);
      e.e.digits = uint8_t(f.high);
      e.e.decimals = uint8_t(f.low);
      e.e.initial.set(text);
      std::vector<uint8_t> ini(16, 0xEE), nul(16, ' ');
      ASSERT_TRUE(init_etoi_img(&r, &e, ini.data(), nul.data())) << text;
      char want[16];
      bool jul = f.type == 3 || f.type == 6 || f.type == 9;
      if (jul) std::snprintf(want, sizeof want, "%04d%03d", y, doy);
      else std::snprintf(want, sizeof want, "%04d%02d%02d", y, m, d);
      SCOPED_TRACE(std::string(text) + " type " + std::to_string(f.type));
      switch (f.type) {
        case 3: case 4:
          ASSERT_EQ(std::string(ini.begin(), ini.begin() + f.len), want);
          break;
        case 6: case 7: {
          uint32_t got = uint32_t(ini[0] | ini[1] << 8 | ini[2] << 16 | uint32_t(ini[3]) << 24);
          ASSERT_EQ(got, uint32_t((day - epoch).count() + 1));
          break;
        }
        default:
          ASSERT_EQ(unpack(ini.data(), f.len), __int128(std::stoll(want)));
      }
      ASSERT_EQ(ini[size_t(f.len)], 0xEE) << "written past the field";
    }
  }
  EXPECT_TRUE(take_msgs().empty());
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

}  // namespace
