// Conversion blocks: every data type from stored value to display text and
// back, tokens, literals, translated fields, and a fuzz of entry text.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/cvdat.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "support/syserr.h"

namespace {

DElem elem(int type, int length, const char* mask = "", int digits = 0, int decimals = 0, bool sgn = false) {
  DElem e;
  INIT_NUM_DELEM(&e, 4, 0);
  e.type = uint8_t(type);
  e.length = uint16_t(length);
  e.mask.set(mask);
  e.digits = uint8_t(digits);
  e.decimals = uint8_t(decimals);
  e.sign = sgn ? '1' : '0';
  return e;
}

// A block over its own stored value and display text (arena memory).
struct Conv {
  explicit Conv(const DElem& e) {
    ok = cv_get_cnv(&b, &e, "TST", "01");
    if (!ok) return;
    pool = mm_create_pool(nullptr, com.base_scope, 0);
    stored = static_cast<uint8_t*>(MM_ALLOC(pool, b.item->int_len + 1));
    display = static_cast<char*>(MM_ALLOC(pool, b.item->ext_len + 1));
    std::memset(display, ' ', b.item->ext_len);
    cv_set_addr(&b, stored, display);
  }
  ~Conv() {
    if (pool) mm_destroy_pool(pool);
  }
  std::string show() {
    cv_itoe(&b);
    return std::string(display, b.item->ext_len);
  }
  int enter(const std::string& t) {
    std::memset(display, ' ', b.item->ext_len);
    std::memcpy(display, t.data(), std::min<size_t>(t.size(), b.item->ext_len));
    return cv_etoi(&b);
  }
  std::string bytes() const { return std::string(reinterpret_cast<char*>(stored), b.item->int_len); }
  CvBlock b;
  int ok = 0;
  MmPool pool = 0;
  uint8_t* stored = nullptr;
  char* display = nullptr;
};

}  // namespace

// The common block's class table over every ISO 8859-1 byte, the fill
// character and the paragraph mark at the bounds of their ranges.
TEST(CharClass, EveryByteHasItsClass) {
  bi_init_com();
  for (int b = 0; b < 256; ++b) {
    uint8_t want = b == ' ' ? kChrBlank
                   : b == '_' ? kChrFill
                   : b == 182 ? kChrReserved
                   : b >= '0' && b <= '9' ? kChrDigit
                   : (b >= 33 && b <= 126) || (b >= 161 && b <= 254) ? kChrPrint
                                                                      : kChrOther;
    EXPECT_EQ(com.char_class[size_t(b)], want) << b;
  }
  bi_set_char_class(&com, '.');
  EXPECT_EQ(com.char_class['.'], kChrFill);
  EXPECT_EQ(com.char_class['_'], kChrPrint);
  bi_init_com();
}

TEST(CvBlock, ItemLayoutAndCompile) {
  DElem e = elem(8, 5, "ZZZ,ZZ9.99-", 6, 2, true);
  CElem ce;
  std::memset(&ce, 0, sizeof ce);
  ce.e = e;
  CvItem item;
  std::memset(&item, 0xAB, sizeof item);
  ASSERT_EQ(cv_bld_sitm(&item, &ce, nullptr, "TST", "01"), 1);
  EXPECT_EQ(item.summary, 0xAB);  // the embedding record's words are left alone
  EXPECT_EQ(item.owner[19], 0xAB);
  EXPECT_EQ(item.type, 8);
  EXPECT_EQ(item.int_len, 5);
  CvBlock b;
  CvBounds bounds{3, 5};
  ASSERT_EQ(cv_cmpl(&b, &item, &bounds), 1);
  EXPECT_EQ(item.ext_len, 11);
  EXPECT_EQ(item.cols, 5u);
  EXPECT_EQ(item.rows, 3u);
  CvBounds tight{2, 5};
  EXPECT_EQ(cv_cmpl(&b, &item, &tight), 0);
  EXPECT_EQ(b.msg, 200050u);
  EXPECT_EQ(item.msg, 200050u);
  // A malformed numeric mask, an alpha mask character that means nothing.
  Conv bad(elem(5, 4, "99.9.9", 3, 1, true));
  EXPECT_EQ(bad.ok, 0);
  EXPECT_EQ(bad.b.msg, 102020u);
  Conv bad2(elem(1, 4, "##x#"));
  EXPECT_EQ(bad2.ok, 0);
  EXPECT_EQ(bad2.b.msg, 200090u);
  // A date element that lacks one end of its range takes the mask's range.
  Conv date(elem(7, 4, "06/05/0807", 8, 0));
  ASSERT_TRUE(date.ok);
  EXPECT_EQ(date.b.item->digits, 8);
  EXPECT_EQ(date.b.item->decimals, 5);
  Conv badtype(elem(42, 4));
  EXPECT_EQ(badtype.ok, 0);
  EXPECT_EQ(badtype.b.msg, 200100u);
  // No application: the system error of a missing application record.
  SysErrCapture cap(SysErrAnswer::Continue);
  CvBlock nb;
  EXPECT_EQ(cv_get_cnv(&nb, &e, "   ", "01"), 0);
  EXPECT_EQ(cap.last(), "cv_bld_sitm - missing dap");
}

TEST(CvBlock, NumbersOfEveryStoredForm) {
  {
    Conv c(elem(5, 2, "", 3, 2, true));  // binary, default mask 990.99-
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.b.item->ext_len, 7);
    ASSERT_EQ(c.enter("-1.5"), 1);
    EXPECT_EQ(c.bytes(), std::string("\x6A\xFF", 2));  // -150
    EXPECT_EQ(c.show(), "  1.50-");
    EXPECT_EQ(cv_itoe(&c.b), 0);  // unchanged text
    std::string before = c.bytes();
    EXPECT_EQ(c.enter("1.555"), 0);
    EXPECT_EQ(c.b.msg, 100790u);
    EXPECT_EQ(c.enter("1000"), 0);
    EXPECT_EQ(c.b.msg, 200050u);
    EXPECT_EQ(c.enter("12x"), 0);
    EXPECT_EQ(c.b.msg, 100350u);
    EXPECT_EQ(c.bytes(), before);  // every refusal left the value alone
  }
  {
    Conv c(elem(5, 1, "999", 3, 0, false));
    ASSERT_EQ(c.enter("254"), 1);
    EXPECT_EQ(c.enter("255"), 0);  // all bits set is the null value
    EXPECT_EQ(c.enter("-1"), 0);
    EXPECT_EQ(c.b.msg, 100550u);
  }
  {
    Conv c(elem(8, 4, "ZZ,ZZ9.99-", 5, 2, true));
    ASSERT_TRUE(c.ok);
    ASSERT_EQ(c.enter("-12,345.6"), 1);
    EXPECT_EQ(c.bytes(), std::string("\x12\x34\x56\x0D", 4));
    EXPECT_EQ(c.show(), "12,345.60-");
    c.stored[3] = 0x6B;  // not a packed number: shown as '*', the cause given
    EXPECT_EQ(cv_itoe(&c.b), 1);
    EXPECT_EQ(std::string(c.display, 10), "**********");
    EXPECT_EQ(c.b.msg, 200050u);
  }
  {
    Conv c(elem(12, 9, "", 15, 15, true));
    ASSERT_TRUE(c.ok);
    ASSERT_EQ(c.enter("3.14159"), 1);
    EXPECT_EQ(c.stored[8], 5);
    ASSERT_EQ(c.enter("-2"), 1);
    EXPECT_EQ(c.stored[8], 0);
  }
  for (int digits : {15, 16}) {  // 8 packed bytes show 15 digits at most
    Conv c(elem(12, 9, "", digits, 0, true));
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.b.item->ext_len, 16) << digits;
  }
}

TEST(CvBlock, AlphaAndLogic) {
  DElem e = elem(1, 8);
  e.justify = 2;
  e.fill = '0';
  e.squeeze = '0';
  Conv c(e);
  ASSERT_TRUE(c.ok);
  ASSERT_EQ(c.enter("  42"), 1);
  EXPECT_EQ(c.bytes(), "00000042");
  EXPECT_EQ(c.show(), "00000042");
  Conv m(elem(1, 5, "##*##"));
  std::memcpy(m.stored, "00-00", 5);
  ASSERT_EQ(m.enter("12?34"), 1);
  EXPECT_EQ(m.bytes(), "12-34");
  EXPECT_EQ(m.enter("1a?34"), 0);
  EXPECT_EQ(m.b.msg, 300080u);
  EXPECT_EQ(m.bytes(), "12-34");
  // A display wider than the stored text, and one narrower.
  Conv w(elem(1, 4));
  std::memcpy(w.stored, "abcd", 4);
  w.b.item->ext_len = 5;  // (the display has room for one more)
  EXPECT_EQ(w.show(), "abcd ");
  EXPECT_EQ(w.b.msg, 0u);
  w.b.item->ext_len = 3;
  EXPECT_EQ(w.show(), "abc");
  EXPECT_EQ(w.b.msg, 200050u);

  Conv l(elem(11, 1));
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.enter("y"), 1);
  EXPECT_EQ(l.bytes(), "1");
  EXPECT_EQ(l.show(), "Y");
  EXPECT_EQ(l.enter("maybe"), 0);
  EXPECT_EQ(l.b.msg, 200080u);
}

// Dates of every stored form against the calendar of <chrono>.
TEST(CvBlock, DatesAgainstTheCivilCalendar) {
  using namespace std::chrono;
  const sys_days day1 = sys_days(year_month_day{year{1}, January, day{1}});
  struct Form {
    int type, length;
  } forms[] = {{7, 4}, {4, 8}, {10, 5}, {15, 8}};
  std::mt19937 rng(7);
  for (const Form& f : forms) {
    DElem e = elem(f.type, f.length, "06/05/0807", 8, 5);
    Conv c(e);
    ASSERT_TRUE(c.ok) << f.type;
    ASSERT_EQ(c.b.item->ext_len, 10);
    for (int k = 0; k < 3000; ++k) {
      int32_t dn = int32_t(rng() % uint32_t(kDayMax)) + 1;
      year_month_day ymd{day1 + days{dn - 1}};
      char want[16];
      std::snprintf(want, sizeof want, "%02u/%02u/%04d", unsigned(ymd.month()), unsigned(ymd.day()),
                    int(ymd.year()));
      ASSERT_EQ(c.enter(want), 1) << f.type << " " << want << " " << c.b.msg;
      EXPECT_EQ(c.show(), want) << f.type;
      if (f.type == 7) {
        uint32_t stored = uint32_t(c.stored[0]) | uint32_t(c.stored[1]) << 8 | uint32_t(c.stored[2]) << 16 |
                          uint32_t(c.stored[3]) << 24;
        ASSERT_EQ(int32_t(stored), dn) << want;
      }
    }
    std::string before = c.bytes();
    EXPECT_EQ(c.enter("02/30/2023"), 0);
    EXPECT_EQ(c.b.msg, 102540u);
    EXPECT_EQ(c.enter("02/29/2023"), 0);
    EXPECT_EQ(c.enter("13/01/2023"), 0);
    EXPECT_EQ(c.bytes(), before);
    ASSERT_EQ(c.enter("02/29/2024"), 1);
    ASSERT_EQ(c.enter(""), 1);  // blank is the null date
    EXPECT_EQ(c.show(), "          ");
  }
}

// Digits that a mask shows as literals: what a date displays, its entry
// takes back, into every stored form.
TEST(CvBlock, DateMasksWithDigitLiterals) {
  using namespace std::chrono;
  const sys_days day1 = sys_days(year_month_day{year{1}, January, day{1}});
  struct Form {
    int type, length;
  } forms[] = {{7, 4}, {4, 8}, {10, 5}, {15, 8}};
  std::mt19937 rng(43);
  for (const Form& f : forms) {
    Conv c(elem(f.type, f.length, "\"43\" 06\"4\"05\"3\"0807", 8, 5));
    ASSERT_TRUE(c.ok) << f.type;
    ASSERT_EQ(c.b.item->ext_len, 13);
    for (int k = 0; k < 2000; ++k) {
      int32_t dn = int32_t(rng() % uint32_t(kDayMax)) + 1;
      year_month_day ymd{day1 + days{dn - 1}};
      char want[32];
      std::snprintf(want, sizeof want, "43 %02u4%02u3%04d", unsigned(ymd.month()), unsigned(ymd.day()),
                    int(ymd.year()));
      ASSERT_EQ(c.enter(want), 1) << f.type << " " << want << " " << c.b.msg;
      std::string value = c.bytes();
      std::string shown = c.show();
      ASSERT_EQ(shown, want) << f.type;
      ASSERT_EQ(c.enter(shown), 1) << f.type << " " << shown << " " << c.b.msg;
      ASSERT_EQ(c.bytes(), value) << f.type << " " << shown;
    }
  }
}

TEST(CvBlock, DateDescriptorOfACompiledItem) {
  Conv c(elem(7, 8, "06/05/0807 04:03", 8, 3));
  ASSERT_TRUE(c.ok);
  ASSERT_EQ(c.enter("12/31/1999 23:59"), 1);
  DateDesc d;
  ASSERT_EQ(INT_DATE(&d, &c.b, 1), &d);
  EXPECT_EQ(d.value, c.stored);
  EXPECT_EQ(d.len, 8);
  EXPECT_EQ(d.type, 7);
  EXPECT_EQ(d.high, 8);
  EXPECT_EQ(d.low, 3);
  ASSERT_EQ(cv_ntos_date(&d), 1);
  const uint8_t want[8] = {19, 99, 12, 31, 23, 59, 0, 0};
  EXPECT_EQ(std::memcmp(d.date, want, 8), 0);
  // Another date through the same descriptor into the stored field.
  d.date[1] = 98;
  ASSERT_EQ(cv_ston_date(&d), 1);
  EXPECT_EQ(c.show(), "12/31/1998 23:59");
  // The display side reads the text under the compiled mask.
  ASSERT_EQ(INT_DATE(&d, &c.b, 0), &d);
  EXPECT_EQ(d.value, reinterpret_cast<uint8_t*>(c.display));
  EXPECT_EQ(d.len, c.b.item->ext_len);
  uint32_t msg = 1;
  ASSERT_EQ(cv_date_text_to_std(&d, c.display, d.len, &msg), 1);
  EXPECT_EQ(d.date[1], 98);
  // A block that converts no date has no date descriptor.
  Conv n(elem(8, 4, "", 5, 2, true));
  EXPECT_EQ(INT_DATE(&d, &n.b, 1), nullptr);
}

TEST(CvBlock, DateChunks) {
  Conv c(elem(7, 8, "06/05/0807 04:03", 8, 3));
  ASSERT_TRUE(c.ok);
  std::string walk;
  int remaining = c.b.date_mask_len, width = 0;
  CvChunk ch;
  while (cv_get_chunk(&c.b, &remaining, 1, &ch)) {
    walk += ch.kind;
    width += ch.width;
  }
  EXPECT_EQ(walk, "6L5L87L4L3");
  EXPECT_EQ(width, c.b.item->ext_len);
  remaining = c.b.date_mask_len;
  walk.clear();
  while (cv_get_chunk(&c.b, &remaining, -1, &ch)) walk += ch.kind;
  EXPECT_EQ(walk, "3L4L78L5L6");
  Conv j(elem(6, 4, "0807-005", 8, 5));
  remaining = j.b.date_mask_len;
  ASSERT_EQ(cv_get_chunk(&j.b, &remaining, -1, &ch), 1);
  EXPECT_EQ(ch.kind, 'J');
  EXPECT_EQ(ch.width, 3);
  remaining = j.b.date_mask_len + 1;
  EXPECT_EQ(cv_get_chunk(&j.b, &remaining, -1, &ch), 0);
  Conv n(elem(8, 4, "", 5, 2, true));
  remaining = 4;
  EXPECT_EQ(cv_get_chunk(&n.b, &remaining, 1, &ch), 0);
}

TEST(CvBlock, LiteralsInUniversalForm) {
  MmPool pool = mm_create_pool(nullptr, com.base_scope, 0);
  {
    CvBlock b;
    DElem e = elem(8, 8, "", 13, 2, true);
    ASSERT_EQ(cv_get_cnv(&b, &e, "TST", "01"), 1);
    char text[16] = "-12.5";
    std::memset(text + 5, ' ', 11);
    b.item->ext_addr.set(static_cast<char*>(MM_ALLOC(pool, 16)));
    std::memcpy(b.item->ext_addr.get(), text, 16);
    b.item->ext_len = 16;
    int in_com = -1;
    ASSERT_EQ(cv_get_universal(&b, 0, &in_com, pool), 1);
    EXPECT_EQ(in_com, 0);
    CvNum n;
    ASSERT_EQ(cv_num_get(8, b.item->int_addr.get(), 8, 2, true, &n), 1);
    EXPECT_TRUE(n.value == -1250);
    // Back to universal text.
    std::memset(b.item->ext_addr.get(), 'x', 16);
    ASSERT_EQ(cv_get_universal(&b, 1, nullptr, pool), 1);
    EXPECT_EQ(std::string(b.item->ext_addr.get(), 16), "-12.50          ");
    // Zero is the common block's packed zero.
    b.item->int_addr.reset();
    std::memcpy(b.item->ext_addr.get(), "0               ", 16);
    // The element has 2 decimals, the constant is 8 bytes: packed zero.
    ASSERT_EQ(cv_get_universal(&b, 0, &in_com, pool), 1);
    EXPECT_EQ(in_com, 1);
    EXPECT_EQ(b.item->int_addr.get(), com.pd_zero.data());
    // A localized form is no literal.
    std::memcpy(b.item->ext_addr.get(), "1,250.00        ", 16);
    b.item->int_addr.reset();
    EXPECT_EQ(cv_get_universal(&b, 0, &in_com, pool), 0);
  }
  {
    CvBlock b;
    DElem e = elem(7, 4, "06/05/0807", 8, 5);
    ASSERT_EQ(cv_get_cnv(&b, &e, "TST", "01"), 1);
    char* t = static_cast<char*>(MM_ALLOC(pool, 16));
    std::memcpy(t, "20240229--------", 16);
    b.item->ext_addr.set(t);
    b.item->ext_len = 16;
    ASSERT_EQ(cv_get_universal(&b, 0, nullptr, pool), 1);
    std::memcpy(t, "20230229--------", 16);
    b.item->int_addr.reset();
    EXPECT_EQ(cv_get_universal(&b, 0, nullptr, pool), 0);
    EXPECT_EQ(b.msg, 102540u);
  }
  // Literals at the limit of the field and one past: alpha as long as the
  // field, one logic character, token numbers of 1 and 2 bytes.
  auto token = [](int len) {
    DElem e = elem(5, len, "", 5, 0, true);
    e.token_mark = 6;
    return e;
  };
  struct Lit {
    DElem e;
    const char* ok;
    const char* past;
  } lits[] = {{elem(1, 4), "abcd", "abcde"}, {elem(11, 1), "Y", "YY"},   {token(1), "127", "128"},
              {token(1), "-128", "-129"},    {token(2), "32767", "32768"}, {token(2), "-32768", "-32769"}};
  for (Lit& l : lits) {
    CvBlock b;
    ASSERT_EQ(cv_get_cnv(&b, &l.e, "TST", "01"), 1) << l.ok;
    char* t = static_cast<char*>(MM_ALLOC(pool, 8));
    b.item->ext_addr.set(t);
    b.item->ext_len = 8;
    for (const char* text : {l.ok, l.past}) {
      std::memset(t, ' ', 8);
      std::memcpy(t, text, std::strlen(text));
      b.item->int_addr.reset();
      EXPECT_EQ(cv_get_universal(&b, 0, nullptr, pool), text == l.ok ? 1 : 0) << text;
    }
  }
  mm_destroy_pool(pool);
}

TEST(CvBlock, TranslatedFields) {
  cv_init();
  cv_add_xlate("TST", "01", "FRA", "COLOUR", "RED", "ROUGE");
  DElem e = elem(1, 10);
  e.b591 = '1';
  e.domain.set("COLOUR");
  Conv c(e);
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.b.item->kind, 1);
  ASSERT_EQ(cv_set_xlate(c.b.item, "FRA", "TST", "01", "COLOUR", 1), 1);
  std::memcpy(c.stored, "RED       ", 10);
  EXPECT_EQ(c.show(), "ROUGE     ");
  ASSERT_EQ(c.enter("ROUGE"), 1);
  EXPECT_EQ(c.bytes(), "RED       ");
  ASSERT_EQ(c.enter("BLEU"), 1);  // no translation: the text as it is
  EXPECT_EQ(c.bytes(), "BLEU      ");
  char t[10];
  std::memcpy(t, "RED       ", 10);
  EXPECT_EQ(fm_xlate_fld(nullptr, nullptr, "FRA", t, 10, "TST", "01", 0, "COLOUR", 4), 1);
  EXPECT_EQ(std::string(t, 10), "ROUGE     ");
  // A plain item ignores a translation request.
  CvItem plain;
  std::memset(&plain, 0, sizeof plain);
  EXPECT_EQ(cv_set_xlate(&plain, "FRA", "TST", "01", "COLOUR", 1), 1);
  EXPECT_EQ(plain.xlate_mode, 0);
}

// Token lists from a TOKEN file: numbers shown as their texts and back.
TEST(CvTokens, NumbersAndTextsOfAGroup) {
  MmPool pool = mm_create_pool(nullptr, com.base_scope, 0);
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  FmFdb fdb;
  INIT_DTOKEN_FDB(&fdb, kdb, sdb, "TKA", "01");
  fdb.fclass = FM_CLASS_MEMORY;
  ASSERT_EQ(FM_CREATE(&fdb, com.base_scope, 0, 0, 0, 15), 1) << fdb.status.get();
  FmArb* f = fdb.handle.get();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, 60));
  auto add = [&](const char* group, int n, const char* text) {
    CvTokenRec& r = rec::view<CvTokenRec>(buf);
    std::memset(buf, 0, 60);
    r.group.set(group);
    r.pad = ' ';
    r.number = n;
    r.text.set(text);
    f->rec.set(buf);
    f->op = 0;
    ASSERT_EQ(fm_write(f), 1);
  };
  add("STATE", 1, "Open");
  add("STATE", 2, "Closed");
  add("STATE", 200, "Archived");
  add("OTHER", 1, "Elsewhere");
  uint16_t h = cv_load_token("TKA", "01", 0, "STATE");
  ASSERT_NE(h, 0);
  EXPECT_EQ(cv_token_count(h), 3u);
  EXPECT_EQ(cv_load_token("TKA", "01", 0, "STATE"), h);  // cached
  const CvTokenRec* t = cv_get_token(h, nullptr, 200, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->text.str(), "Archived");
  EXPECT_EQ(cv_get_token(h, nullptr, 3, 1), nullptr);

  DElem e = elem(5, 2, "", 3, 0, true);
  e.token_mark = 10;
  e.domain.set("STATE");
  CvBlock b;
  ASSERT_EQ(cv_get_cnv(&b, &e, "TKA", "01"), 1);
  EXPECT_EQ(b.item->token_handle, h);
  EXPECT_EQ(b.item->ext_len, 10);
  auto* stored = static_cast<uint8_t*>(MM_ALLOC(pool, 2));
  auto* display = static_cast<char*>(MM_ALLOC(pool, 10));
  cv_set_addr(&b, stored, display);
  std::memcpy(display, "closed    ", 10);
  ASSERT_EQ(cv_etoi(&b), 1);
  EXPECT_EQ(stored[0] | stored[1] << 8, 2);
  stored[0] = 200;
  stored[1] = 0;
  cv_itoe(&b);
  EXPECT_EQ(std::string(display, 10), "Archived  ");
  stored[0] = 7;
  cv_itoe(&b);
  EXPECT_EQ(std::string(display, 10), "??????????");
  EXPECT_EQ(b.msg, 200060u);
  std::memcpy(display, "Elsewhere ", 10);  // a token of another group
  EXPECT_EQ(cv_etoi(&b), 0);
  EXPECT_EQ(b.msg, 200060u);
  std::memset(display, ' ', 10);
  ASSERT_EQ(cv_etoi(&b), 1);
  EXPECT_EQ(stored[0], 0xFF);  // no token: the null value
  cv_close_token();
  FM_CLOSE(f, FM_CL_SCRATCH);
  mm_destroy_pool(pool);
}

TEST(CvTokens, NoTokenFileIsACheckedFileError) {
  SysErrCapture cap(SysErrAnswer::Continue);
  la_sys_err("before", 0);
  EXPECT_EQ(cv_load_token("TKZ", "01", 0, "STATE"), 0);
  ASSERT_EQ(cap.count(), 1u);
  // "%s - %.*s": the quoted text, then the text of the open's status.
  const std::string head = "cv_load_token() - Bad TOKEN file open  - ";
  const std::string& text = cap.last();
  ASSERT_EQ(text.rfind(head, 0), 0u) << text;
  std::string status = text.substr(head.size());
  EXPECT_EQ(status.rfind("ERROR - ", 0), 0u) << text;
  EXPECT_EQ(la_cur_sys_err(), "before");
  la_sys_err("", 0);
}

// Display and entry round-trip through conversion blocks: every mask of a
// corpus, every numeric storage form, several currencies and separators,
// random values. What cv_itoe shows, cv_etoi takes back to the same bytes.
TEST(CvRoundTrip, EveryMaskEveryNumericForm) {
  const char* masks[] = {
      "ZZZ,ZZ9.99-",  "(999,999.999)", "-$9,999,999",     "***,***.**",      "<99999>",       "99990.9999-",
      "8,888,888.88-", "$$$9.99",      "$ZZZ,ZZ9.99-",    "-$ZZZ,ZZ9.99",    "$***,**9.99",   "ZZ9.99$",
      "EUR -ZZZ,ZZ9.99", "X$ZZZ9",     "999",             "ZZ9",             "990",           "099",
      "ZZ9.99",       "999.99",        "99990.99",        "999.99-",         "-999.99",       "(999.99)",
      "<9,999>",      "9,999,999",     "$9,999.99",       "$*,**9.99",       "8888.99",       "999.",
      "99/99",        "\\999",         "99%",             "ZZ9.9-",          "Z,ZZ9",         "ZZZ9$$$$",
      "$$ZZ9.99",     "ZZ,ZZ9.99 DR",  "9.9999",          ".999",            "0.99",          "ZZ9 kg",
      "-ZZ9 CR",      "88/88/88",      "8A88",            "No\\. ZZ9",       "<ZZZ,ZZ9.99>",  "(ZZZ,ZZ9)",
      "***9",         "*,***,**9.99-", "$ZZ9",            "ZZ9$",            "Z9.99$-",       "-Z9.99$",
      "$-ZZ9",        "888.88",        "8,888",           "ZZZZZZZZZZZZZZ9", "+ZZ9",          "ZZZ,ZZZ,ZZZ,ZZZ,ZZ9.99-",
      "X-ZZZ9",       "A(ZZ9)",        "-/$ZZ9",          "$ 999.99",        "ZZ9.99 $",      "$/ZZ9",
  };
  struct Form {
    int type, len;
    bool sgn;
  } forms[] = {{5, 1, true}, {5, 1, false}, {5, 2, true}, {5, 2, false}, {5, 4, true}, {5, 4, false},
               {8, 2, true}, {8, 5, true},  {8, 8, false}, {8, 16, true}, {12, 9, true}};
  struct Locale {
    char dec, thou;
    const char* cur;
  } locales[] = {{'.', ',', "$"}, {'.', ',', "EUR"}, {',', '.', "EUR"}, {',', ' ', "kr"}, {'.', '\'', "Fr."}};
  std::mt19937_64 rng(20261207);
  int checked = 0;
  for (const Locale& loc : locales) {
    uint8_t dec = com.dec_sep, thou = com.thou_sep;
    std::string cur = com.currency.str();
    com.dec_sep = uint8_t(loc.dec);
    com.thou_sep = uint8_t(loc.thou);
    com.currency.set(loc.cur);
    for (const char* mask : masks) {
      CvNumMsk m{mask, int(std::strlen(mask)), {}, 0};
      ASSERT_EQ(cv_num_msk(&m), 1) << mask;
      int ints = m.facts.int_digits, decs = m.facts.decimals;
      for (const Form& f : forms) {
        bool sgn = f.sgn && m.facts.sign != 0;
        DElem e = elem(f.type, f.len, mask, ints, decs, sgn);
        Conv c(e);
        ASSERT_TRUE(c.ok) << mask << " " << c.b.msg;
        for (int k = 0; k < 30; ++k) {
          // A value with up to the mask's digits, made to fit the form.
          int nd = int(rng() % uint64_t(ints + decs + 1));
          __int128 v = 0;
          for (int i = 0; i < nd && i < 30; ++i) v = v * 10 + __int128(rng() % 10);
          if (sgn && (rng() & 1)) v = -v;
          uint32_t msg = 0;
          while (!cv_num_put(f.type, c.stored, f.len, ints, decs, sgn || f.type == 12, CvNum{v, decs}, &msg)) v /= 10;
          std::string value = c.bytes();
          std::string shown = c.show();
          ASSERT_EQ(c.b.msg, 0u) << mask << " " << loc.cur << " '" << shown << "'";
          ASSERT_EQ(c.enter(shown), 1) << mask << " " << loc.cur << " type " << f.type << "/" << f.len << " '"
                                       << shown << "' " << c.b.msg;
          ASSERT_EQ(c.bytes(), value) << mask << " " << loc.cur << " '" << shown << "'";
          ++checked;
        }
      }
    }
    com.dec_sep = dec;
    com.thou_sep = thou;
    com.currency.set(cur);
  }
  EXPECT_GT(checked, 50 * 11 * 5 * 30 - 1);
}

// Random text under random masks and types: never a crash, never a changed
// value on refusal, and an accepted text converts back to the same value.
TEST(CvFuzz, EntryOfRandomText) {
  std::mt19937 rng(20260607);
  const char alphabet[] = " 0123456789.,-+()<>$*/:abcXYZ\xB6\xE9\t\x01~#@&!";
  struct Shape {
    int type, length;
    const char* mask;
    int digits, decimals;
    bool sgn;
  } shapes[] = {
      {5, 1, "", 2, 0, false},        {5, 2, "ZZ9.99-", 3, 2, true}, {5, 4, "(ZZZ,ZZ9)", 6, 0, true},
      {8, 6, "$ZZ,ZZZ,ZZ9.99-", 8, 2, true}, {8, 3, "***9", 4, 0, false}, {12, 9, "", 15, 15, true},
      {1, 12, "", 0, 0, false},       {1, 6, "##*&@!", 0, 0, false}, {11, 1, "", 0, 0, false},
      {7, 4, "06/05/0807", 8, 5, false}, {7, 8, "0807-06-05 04:03", 8, 3, false},
      {4, 6, "07.06.05", 7, 5, false},   {10, 5, "0807/06/05", 8, 5, false},
      {3, 7, "0807-005", 8, 5, false},   {15, 8, "0807-06-05 04:03:02.01", 8, 1, false},
  };
  for (const Shape& s : shapes) {
    DElem e = elem(s.type, s.length, s.mask, s.digits, s.decimals, s.sgn);
    e.squeeze = (rng() & 1) ? '0' : '1';
    e.justify = uint8_t(rng() % 5);
    Conv c(e);
    ASSERT_TRUE(c.ok) << s.type << " " << s.mask << " " << c.b.msg;
    int ext = c.b.item->ext_len;
    for (int k = 0; k < 20000; ++k) {
      std::string t(size_t(ext), ' ');
      int n = int(rng() % uint32_t(ext + 1));
      for (int i = 0; i < n; ++i) t[size_t(i)] = alphabet[rng() % (sizeof alphabet - 1)];
      std::string before = c.bytes();
      int ok = c.enter(t);
      if (!ok) {
        ASSERT_NE(c.b.msg, 0u);
        ASSERT_EQ(c.bytes(), before);
        continue;
      }
      std::string value = c.bytes();
      std::string shown = c.show();
      ASSERT_EQ(c.enter(shown), 1) << s.type << " '" << t << "' -> '" << shown << "' " << c.b.msg;
      ASSERT_EQ(c.bytes(), value) << s.type << " '" << t << "'";
    }
  }
}

// Random masks too: a mask that does not compile is refused with a message;
// one that compiles converts random text without harm.
TEST(CvFuzz, RandomMasks) {
  std::mt19937 rng(99);
  const char num_chars[] = "9Z0*8.,-()<>$\\/ x%";
  const char alp_chars[] = " !#&@*?";
  const char text_chars[] = " 0123456789.,-+()<>$*/:aZ\xE9";
  int compiled = 0;
  for (int k = 0; k < 3000; ++k) {
    int kind = int(rng() % 3);
    std::string mask;
    int mlen = 1 + int(rng() % 14);
    if (kind == 2) {
      // Date masks: unit codes, stray digits (bad tokens) and literals.
      const char* pieces[] = {"08", "07", "06", "05", "04", "03", "02", "01", "005", "55",
                              "/",  "-",  ".",  ":",  " ",  "x",  "\"T\"", "\\/", "9"};
      for (int i = 0; i < mlen / 2 + 1; ++i) mask += pieces[rng() % (sizeof pieces / sizeof *pieces)];
    } else {
      const char* set = kind == 0 ? num_chars : alp_chars;
      size_t setn = std::strlen(set);
      for (int i = 0; i < mlen; ++i) mask += set[rng() % setn];
    }
    DElem e = kind == 0 ? elem(8, 8, mask.c_str(), 9, 2, true)
              : kind == 1 ? elem(1, 10, mask.c_str())
                          : elem(7, 8, mask.c_str(), 8, 1);
    SysErrCapture cap(SysErrAnswer::Continue);  // a bad date mask token is a system error
    Conv c(e);
    if (!c.ok) {
      ASSERT_NE(c.b.msg, 0u) << mask;
      continue;
    }
    ++compiled;
    int ext = c.b.item->ext_len;
    for (int j = 0; j < 50; ++j) {
      std::string t(size_t(ext), ' ');
      for (int i = 0; i < ext; ++i)
        if (rng() % 3) t[size_t(i)] = text_chars[rng() % (sizeof text_chars - 1)];
      std::string before = c.bytes();
      if (!c.enter(t)) {
        ASSERT_NE(c.b.msg, 0u);
        ASSERT_EQ(c.bytes(), before) << mask << " '" << t << "'";
        continue;
      }
      std::string shown = c.show();
      if (c.b.msg != 0) continue;  // a value the mask cannot show
      // Display -> stored -> display is stable (a mask may show fewer
      // decimals than the field keeps, so the value itself may round).
      ASSERT_EQ(c.enter(shown), 1) << mask << " '" << t << "' -> '" << shown << "' " << c.b.msg;
      ASSERT_EQ(c.show(), shown) << mask << " '" << t << "'";
    }
  }
  EXPECT_GT(compiled, 500);
}
