// Utilities, lists, rectangles and the common block's fixed layout.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/ut.h"
#include "support/syserr.h"

TEST(Text, BlankPaddedFields) {
  char b[10];
  ut_cpy_fill(b, "abc", sizeof b);
  EXPECT_EQ(std::string(b, 10), "abc       ");
  EXPECT_EQ(ut_buflen(b, 10), 3u);
  ut_cpy_fill(b, nullptr, sizeof b);  // no source: all blanks
  EXPECT_EQ(std::string(b, 10), std::string(10, ' '));
  char c[11];
  c[10] = '#';
  ut_cpy_fill(c, "abcdefghijkl", 10);  // a longer source: cut at the width
  EXPECT_EQ(std::string(c, 11), "abcdefghij#");
  SET_BLANK(b, 10);
  EXPECT_EQ(ut_buflen(b, 10), 0u);
  // The end found on each side of an 8-byte word, an inner blank kept.
  for (size_t width : {7u, 8u, 9u, 15u, 16u, 17u})
    for (size_t len = 0; len <= width; ++len) {
      std::string t(width, ' ');
      for (size_t i = 0; i < len; ++i) t[i] = i == 1 ? ' ' : 'x';
      EXPECT_EQ(ut_buflen(t.data(), width), len == 2 ? 1u : len) << width << " " << len;
    }
  EXPECT_TRUE(ut_is_all(b, ' ', 10));
  EXPECT_FALSE(ut_is_all("  x", ' ', 3));
  EXPECT_FALSE(ut_is_all("x  ", ' ', 3));
  ut_center(b, 10, "abcd", 4);
  EXPECT_EQ(std::string(b, 10), "   abcd   ");
  ut_center(b, 10, "abc", 3);
  EXPECT_EQ(std::string(b, 10), "   abc    ");
  ut_center(b, 4, "abcdefg", 7);  // too long: cut
  EXPECT_EQ(std::string(b, 4), "abcd");
  EXPECT_EQ(ut_cpy_case('C', b, 10, "hELLO woRLD", 11), 10u);
  EXPECT_EQ(std::string(b, 10), "Hello Worl");
  ut_cpy_case('C', b, 10, "o'neil-x", 8);
  EXPECT_EQ(std::string(b, 10), "O'Neil-X  ");
  ut_cpy_case('U', b, 10, "abc", 3);
  EXPECT_EQ(std::string(b, 10), "ABC       ");
}

// Keys of every length to 17 bytes that differ in any one byte hash apart;
// so do one key's hashes under two seeds.
TEST(Text, HashTakesEveryByteAndTheSeed) {
  const std::string k = "abcdefghijklmnopq";
  for (size_t n = 1; n <= k.size(); ++n)
    for (size_t i = 0; i < n; ++i) {
      std::string m = k.substr(0, n);
      m[i] ^= 1;
      EXPECT_NE(ut_hash(k.data(), n), ut_hash(m.data(), n)) << n << " " << i;
    }
  EXPECT_NE(ut_hash(k.data(), 5, 1), ut_hash(k.data(), 5, 2));
}

TEST(Record, FixedWidthFields) {
  struct R {
    rec::Text<5> name;
    rec::U16 a;
    rec::U32 b;
    rec::I32 c;
    rec::U8 d;
  };
  QV_RECORD(R, 16);
  QV_AT(R, b, 7);
  uint8_t raw[16] = {};
  R& r = rec::view<R>(raw);
  r.name.set("ABCDEFG");
  EXPECT_EQ(r.name.str(), "ABCDE");
  r.name.set("AB");
  EXPECT_TRUE(r.name == "AB");
  EXPECT_TRUE(r.name == "AB   ");
  EXPECT_FALSE(r.name == "ABC");
  EXPECT_EQ(r.name.len(), 2u);
  r.a = 0x1234;
  r.b = 0xA1B2C3D4u;
  r.c = -2;
  EXPECT_EQ(raw[5], 0x34);
  EXPECT_EQ(raw[6], 0x12);
  EXPECT_EQ(raw[7], 0xD4);
  EXPECT_EQ(raw[10], 0xA1);
  EXPECT_EQ(r.c.get(), -2);
  EXPECT_EQ(raw[11], 0xFE);
}

// The length without trailing blanks, read eight blanks at a time: a last
// character at every place of widths around the word bounds, and none.
TEST(Record, TextLengthAtEveryPlace) {
  auto check = [](auto& t, size_t width) {
    for (size_t at = 0; at <= width; ++at)
      for (char ch : {'A', '\0', '\x1F', '!'}) {
        t.clear();
        if (at > 0) std::memset(t.data(), ch, at);
        EXPECT_EQ(t.len(), at) << width << " " << int(ch);
        if (at > 0) {  // blanks before the last character count
          t.clear();
          t.data()[at - 1] = ch;
          EXPECT_EQ(t.len(), at) << width;
        }
      }
  };
  rec::Text<1> t1;
  rec::Text<7> t7;
  rec::Text<8> t8;
  rec::Text<9> t9;
  rec::Text<16> t16;
  rec::Text<60> t60;
  check(t1, 1), check(t7, 7), check(t8, 8), check(t9, 9), check(t16, 16), check(t60, 60);
}

namespace {
struct Node {
  int value;
  UtLink link;
};
std::vector<int> walk(UtList& l) {
  std::vector<int> out;
  for (auto* n = static_cast<Node*>(l.first.get()); n; n = static_cast<Node*>(n->link.next.get()))
    out.push_back(n->value);
  std::vector<int> back;
  for (auto* n = static_cast<Node*>(l.last.get()); n; n = static_cast<Node*>(n->link.prev.get()))
    back.insert(back.begin(), n->value);
  EXPECT_EQ(out, back);
  return out;
}
}  // namespace

TEST(List, AppendAndUnlinkKeepBothDirections) {
  MmPool p = mm_create_pool(nullptr, 0, 0);
  auto* l = static_cast<UtList*>(MM_ALLOC(p, sizeof(UtList)));
  Node* n[4];
  for (int i = 0; i < 4; ++i) {
    n[i] = static_cast<Node*>(MM_ALLOC(p, sizeof(Node)));
    n[i]->value = i;
    ut_add_to_lst(l, n[i], &n[i]->link);
  }
  EXPECT_EQ(walk(*l), (std::vector<int>{0, 1, 2, 3}));
  ut_remove_from_lst(l, n[0], &n[0]->link);
  ut_remove_from_lst(l, n[2], &n[2]->link);
  EXPECT_EQ(walk(*l), (std::vector<int>{1, 3}));
  ut_remove_from_lst(l, n[3], &n[3]->link);
  ut_remove_from_lst(l, n[1], &n[1]->link);
  EXPECT_FALSE(l->first);
  EXPECT_FALSE(l->last);
  // An element removed again (its neighbours gone meanwhile) leaves the list
  // as it is.
  for (int i = 0; i < 3; ++i) ut_add_to_lst(l, n[i], &n[i]->link);
  ut_remove_from_lst(l, n[1], &n[1]->link);
  ut_remove_from_lst(l, n[2], &n[2]->link);
  ut_remove_from_lst(l, n[1], &n[1]->link);
  EXPECT_EQ(walk(*l), (std::vector<int>{0}));
  ut_remove_from_lst(l, n[0], &n[0]->link);
  // The link may be the element's first member.
  auto* head = static_cast<UtLink*>(MM_ALLOC(p, sizeof(UtLink)));
  ut_add_to_lst(l, head, head);
  EXPECT_EQ(l->first.get(), head);
  ut_remove_from_lst(l, head, head);
  EXPECT_FALSE(l->first);
  SysErrCapture cap(SysErrAnswer::Continue);
  ut_add_to_lst(l, nullptr, nullptr);
  EXPECT_EQ(cap.last(), "ut_add_to_lst() - missing element");
  mm_destroy_pool(p);
}

TEST(WorkBuffer, GrowsKeepingItsContents) {
  MmPool p = mm_create_pool(nullptr, 0, 0);
  UtBuf* b = static_cast<UtBuf*>(MM_ALLOC(p, sizeof(UtBuf)));
  b->pool = p;
  ASSERT_EQ(ut_chk_buf(b, 10), 1);
  std::memcpy(b->data.get(), "0123456789", 10);
  ASSERT_EQ(ut_chk_buf(b, 5000), 1);
  EXPECT_GE(b->size, 5000u);
  EXPECT_EQ(std::memcmp(b->data.get(), "0123456789", 10), 0);
  EXPECT_EQ(mm_pool_live(p), 2u);  // the record and its data: the old data freed
  mm_destroy_pool(p);
}

TEST(Rect, SubdivisionCoversTheFirstRectangleExactly) {
  // Every cell of a is in exactly one part or the intersection.
  for (int br = 0; br < 8; ++br)
    for (int bc = 0; bc < 8; ++bc)
      for (int h = 1; h < 6; ++h) {
        UtRect a{2, 2, 5, 6}, b{br, bc, br + h - 1, bc + h};
        UtSubdiv s;
        int ov = ut_subdiv(a, b, &s);
        for (int r = 0; r < 10; ++r)
          for (int c = 0; c < 12; ++c) {
            auto in = [&](const UtRect& x) { return r >= x.row && r <= x.last_row && c >= x.col && c <= x.last_col; };
            int n = 0;
            for (int i = 0; i < s.count; ++i) {
              ASSERT_TRUE(s.parts[i].row <= s.parts[i].last_row && s.parts[i].col <= s.parts[i].last_col)
                  << "an empty part";
              n += in(s.parts[i]);
            }
            if (ov) n += in(s.inter);
            ASSERT_EQ(n, in(a) ? 1 : 0) << r << "," << c;
            if (ov && in(s.inter)) {
              ASSERT_TRUE(in(b));
            }
          }
      }
}

TEST(Codes, SecurityTruthAndClasses) {
  EXPECT_EQ(ut_xlate_secr("    "), -1);
  EXPECT_EQ(ut_xlate_secr("0012"), 12);
  EXPECT_EQ(ut_xlate_secr("A1B2"), 12);
  EXPECT_EQ(ut_xlate_secr("9990"), 9990);
  EXPECT_TRUE(IS_ZUB_AP("0LA"));
  EXPECT_TRUE(IS_ZUB_AP("SQL"));
  EXPECT_FALSE(IS_ZUB_AP("0LB"));
  uint32_t m = 0x3FF;
  SET_TF(1, 1, m);
  EXPECT_EQ(m, 0x1FFu);
  SET_TF(2, 3, m);
  EXPECT_EQ(m, 0x1EFu);  // level 1 true, 2 unset, 3 false, 4 and 5 unset
  EXPECT_EQ((m >> 4) & 3, 2u);
  EXPECT_EQ((m >> 8) & 3, 1u);
  SET_TF(1, 1, m);  // resets every deeper level
  EXPECT_EQ(m, 0x1FFu);
  SET_TF(1, 0, m);
  EXPECT_EQ(m, 0x1FFu);
  for (int t = 0; t < 20; ++t) {
    int classes = IS_ELEM_ALP(t) + IS_ELEM_DATE(t) + IS_ELEM_NUM(t);
    bool typed = (t >= 1 && t <= 10) || t == 12 || t == 13 || t == 15;  // 11 is logic
    EXPECT_EQ(classes, typed ? 1 : 0) << t;
  }
  struct S { uint8_t* pc; } st{nullptr};
  uint8_t code[16];
  st.pc = code;
  PC_ADJUST(5, st);
  EXPECT_EQ(st.pc, code + 8);
}

TEST(CommonBlock, LayoutAndConstants) {
  static_assert(sizeof(ComArea) == 46508);
  auto* base = reinterpret_cast<uint8_t*>(&com);
  // Compiled code addresses these bytes by offset: they must not move.
  EXPECT_EQ(com_cnst(65000), base);
  EXPECT_EQ(offsetof(ComArea, blanks), 0u);
  EXPECT_EQ(offsetof(ComArea, pd_zero), 268u);
  EXPECT_EQ(offsetof(ComArea, pd_one), 276u);
  EXPECT_EQ(offsetof(ComArea, pd_minus_one), 260u);
  EXPECT_EQ(offsetof(ComArea, pd_day_hundredths), 284u);
  EXPECT_EQ(offsetof(ComArea, para_mark), 4143u);
  EXPECT_TRUE(ut_is_all(base, ' ', 256));
  const uint8_t zero[8] = {0, 0, 0, 0, 0, 0, 0, 0x0C};
  const uint8_t one[8] = {0, 0, 0, 0, 0, 0, 0, 0x1C};
  const uint8_t minus[8] = {0, 0, 0, 0, 0, 0, 0, 0x1D};
  const uint8_t day[8] = {0, 0, 0, 0, 0x86, 0x40, 0x00, 0x0C};
  EXPECT_EQ(std::memcmp(com.pd_zero.b, zero, 8), 0);
  EXPECT_EQ(std::memcmp(com.pd_one.b, one, 8), 0);
  EXPECT_EQ(std::memcmp(com.pd_minus_one.b, minus, 8), 0);
  EXPECT_EQ(std::memcmp(com.pd_day_hundredths.b, day, 8), 0);
  EXPECT_EQ(com.para_mark, 182);
  EXPECT_EQ(com.day_full[3].str(), "Wednesday");
  EXPECT_EQ(com.month_abbr[8].str(), "Sep");
  EXPECT_EQ(com.month_len[8], 9);
}

// A directory holds itself and what lies below it, never a sibling that
// shares its name as a prefix; "/" holds every absolute path.
TEST(Ut, PathWithinADirectory) {
  EXPECT_TRUE(ut_path_within("/srv/quvo", "/srv/quvo"));
  EXPECT_TRUE(ut_path_within("/srv/quvo/data/x", "/srv/quvo"));
  EXPECT_TRUE(ut_path_within("/srv/quvo/data", "/srv/quvo/"));
  EXPECT_FALSE(ut_path_within("/srv/quvo2/data", "/srv/quvo"));
  EXPECT_FALSE(ut_path_within("/srv", "/srv/quvo"));
  EXPECT_TRUE(ut_path_within("/anything", "/"));
  EXPECT_FALSE(ut_path_within("relative", "/"));
  EXPECT_FALSE(ut_path_within("", "/"));
}
