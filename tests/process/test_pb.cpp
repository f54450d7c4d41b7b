// The query engine's selection programs and its sort: every selection tree
// of up to five lines against a recursive evaluation, the parser's refusals,
// sort keys against value order, and the sort and merge against a stable
// sort by value with break levels computed directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/cvdat.h"
#include "foundation/mm.h"
#include "foundation/ut.h"
#include "language/ii.h"
#include "language/sc.h"
#include "process/pbutil.h"
#include "support/dict_fixtures.h"
#include "support/quvo_run.h"
#include "support/syserr.h"
#include "files/fmcat.h"

namespace {

// Byte-string order, as a sort key compares. (vector's own operator< trips a
// false -Wstringop-overread of GCC 12 at -O3.)
bool bytes_less(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = std::min(a.size(), b.size());
  int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  return c ? c < 0 : a.size() < b.size();
}

// ------------------------------------------------------------ selection --
// A tree of its own, independent of the parser: leaves 1..n in order.
struct T {
  int op = 0;  // 0 leaf, 1 OR, 2 AND
  int line = 0;
  std::shared_ptr<T> l, r;
};
using TP = std::shared_ptr<T>;

std::vector<TP> trees(int from, int n) {
  std::vector<TP> out;
  if (n == 1) {
    auto t = std::make_shared<T>();
    t->line = from;
    out.push_back(t);
    return out;
  }
  for (int k = 1; k < n; ++k)
    for (const TP& l : trees(from, k))
      for (const TP& r : trees(from + k, n - k))
        for (int op : {1, 2}) {
          auto t = std::make_shared<T>();
          t->op = op;
          t->l = l;
          t->r = r;
          out.push_back(t);
        }
  return out;
}

std::string text_of(const TP& t) {
  if (!t->op) return std::to_string(t->line);
  return "(" + text_of(t->l) + (t->op == 1 ? " OR " : " AND ") + text_of(t->r) + ")";
}

bool eval(const TP& t, unsigned truth, std::vector<int>* order) {
  if (!t->op) {
    order->push_back(t->line);
    return (truth >> (t->line - 1)) & 1;
  }
  bool l = eval(t->l, truth, order);
  if (t->op == 1 ? l : !l) return l;
  return eval(t->r, truth, order);
}

PbQslct line(int kind, uint32_t no, uint8_t relation = 1, const char* value = "X") {
  PbQslct l;
  std::memset(static_cast<void*>(&l), ' ', sizeof l);
  l.kind = uint8_t(kind);
  l.line = no;
  l.relation = relation;
  l.on = '1';
  l.mentioned = '0';
  l.r_value.set(value);
  return l;
}

std::string pad(const std::string& s) { return s + std::string(800 - s.size(), ' '); }

// Builds and compiles a selection of texts 8 and 9 over lines; runs it
// with the lines' outcomes (bit line-1 of truth, by line number), giving
// the line numbers tested in order.
struct Sel {
  std::vector<PbQslct> lines;
  std::vector<PbStep> prog;
  uint32_t status = 0;
  size_t pos = 0;
  bool build(const std::string& t8, const std::string& t9 = "") {
    PbTree tree;
    std::string a = pad(t8), b = pad(t9);
    if (!pb_bld_slct(a.data(), b.data(), 800, &lines, &tree, &status, &pos)) return false;
    prog = pb_cmpl_slct(tree);
    return true;
  }
  bool run(unsigned truth, std::vector<uint32_t>* order = nullptr) {
    return pb_run_slct(prog, [&](int i) {
      uint32_t no = lines[size_t(i)].line;
      if (order) order->push_back(no);
      return bool((truth >> (no - 1)) & 1);
    });
  }
};

TEST(PbSlct, EveryTreeOfUpToFiveLinesEvaluatesAsTheRecursiveEvaluation) {
  int count = 0;
  for (int n = 1; n <= 5; ++n) {
    for (const TP& t : trees(1, n)) {
      ++count;
      Sel s;
      for (int i = 1; i <= n; ++i) s.lines.push_back(line(8, uint32_t(i)));
      std::string text = text_of(t);
      ASSERT_TRUE(s.build(text)) << text << " " << s.status;
      for (unsigned truth = 0; truth < (1u << n); ++truth) {
        std::vector<int> want;
        bool r = eval(t, truth, &want);
        std::vector<uint32_t> got;
        ASSERT_EQ(s.run(truth, &got), r) << text << " truth " << truth;
        ASSERT_EQ(got, std::vector<uint32_t>(want.begin(), want.end())) << text << " truth " << truth;
      }
    }
  }
  EXPECT_EQ(count, 275);
}

TEST(PbSlct, PrecedenceBothTextsUnmentionedAndSwitchedOffLines) {
  Sel s;
  for (int i = 1; i <= 4; ++i) s.lines.push_back(line(8, uint32_t(i)));
  // AND binds tighter; the nested right child of a right child.
  ASSERT_TRUE(s.build("(1 OR 2 AND 3) AND 4"));
  EXPECT_FALSE(s.run(0b1010));   // 1 F, 2 T, 3 F, 4 T
  EXPECT_TRUE(s.run(0b1011));
  ASSERT_TRUE(s.build("1 AND (2 AND 3) OR 4"));
  EXPECT_TRUE(s.run(0b0111));    // 1-3 T, 4 F
  EXPECT_FALSE(s.run(0b0110));
  // Evaluation stops at the first decisive line.
  ASSERT_TRUE(s.build("1 AND 2 AND 3 AND 4"));
  std::vector<uint32_t> order;
  EXPECT_FALSE(s.run(0b1110, &order));
  EXPECT_EQ(order, std::vector<uint32_t>{1});

  // Lines 3 and 4 unmentioned: ANDed in front, in line order.
  ASSERT_TRUE(s.build("1 OR 2"));
  EXPECT_TRUE(s.run(0b1101));
  EXPECT_FALSE(s.run(0b0111));
  order.clear();
  EXPECT_TRUE(s.run(0b1110, &order));
  EXPECT_EQ(order, (std::vector<uint32_t>{3, 4, 1, 2}));
  // A mention of an earlier build does not outlive its text.
  ASSERT_TRUE(s.build("1 AND 2 AND 3 AND 4"));
  ASSERT_TRUE(s.build("1"));
  EXPECT_FALSE(s.run(0b0111));

  // Unmentioned lines go in by line number, not by their place.
  std::swap(s.lines[2], s.lines[3]);
  order.clear();
  ASSERT_TRUE(s.build("1 OR 2"));
  EXPECT_TRUE(s.run(0b1110, &order));
  EXPECT_EQ(order, (std::vector<uint32_t>{3, 4, 1, 2}));
  std::swap(s.lines[2], s.lines[3]);

  // Switched off, or without a relation (255, 0, blank): the line goes.
  s.lines[1].on = '0';
  s.lines[2].relation = 255;
  s.lines[3].relation = ' ';
  ASSERT_TRUE(s.build("1 AND 2 AND 3 AND 4"));
  EXPECT_TRUE(s.run(0b0001));
  EXPECT_FALSE(s.run(0b1110));
  s.lines[2].relation = 0;
  ASSERT_TRUE(s.build("1 AND 3"));
  EXPECT_TRUE(s.run(0b0001));
  // An unmentioned line without a right operand is not added.
  s.lines[1].on = '1';
  s.lines[1].r_value.clear();
  s.lines[2].relation = 1;
  s.lines[3].relation = 1;
  ASSERT_TRUE(s.build("1"));
  EXPECT_TRUE(s.run(0b1101));

  // Both texts: a record passes both; kind-9 lines are their own.
  Sel b;
  b.lines = {line(8, 1), line(8, 2), line(9, 1), line(9, 2)};
  ASSERT_TRUE(b.build("1 OR 2", "1 AND 2"));
  auto run = [&](bool a1, bool a2, bool n1, bool n2) {
    return pb_run_slct(b.prog, [&](int i) {
      const PbQslct& l = b.lines[size_t(i)];
      return l.kind == 8 ? (l.line == 1u ? a1 : a2) : (l.line == 1u ? n1 : n2);
    });
  };
  EXPECT_TRUE(run(false, true, true, true));
  EXPECT_FALSE(run(true, true, true, false));
  EXPECT_FALSE(run(false, false, true, true));

  // No lines and blank texts: no program, every record selected.
  Sel none;
  ASSERT_TRUE(none.build(""));
  EXPECT_TRUE(none.prog.empty());
  EXPECT_TRUE(none.run(0));
}

TEST(PbSlct, RefusedTextsGiveStatusAndPosition) {
  // An internal function of the interpreter by its name.
  sc_register();
  bool found = false;
  for (uint32_t i = 0; i < 64; ++i) found |= ii_ifn(i) == pb_valid_expr;
  EXPECT_TRUE(found);
  MmPool pool = mm_create_pool(" PBTEST ", 0, 0);
  auto check = [&](const std::string& text, int32_t ok, uint32_t status, int64_t pos = -1) {
    auto* t = static_cast<char*>(MM_ALLOC(pool, 800));
    auto* st = static_cast<uint8_t*>(MM_ALLOC(pool, 4));
    auto* at = static_cast<uint8_t*>(MM_ALLOC(pool, 4));
    std::string p = pad(text);
    std::memcpy(t, p.data(), 800);
    uint32_t args[5] = {4, 0, arena::offset_of(t), arena::offset_of(st), arena::offset_of(at)};
    EXPECT_EQ(pb_valid_expr(args), ok) << text;
    EXPECT_EQ(rec::view<rec::U32>(st).get(), status) << text;
    if (pos >= 0) {
      EXPECT_EQ(rec::view<rec::U32>(at).get(), uint32_t(pos)) << text;
    }
  };
  check("NOT 1", 0, kPbBadFactor, 0);
  check("1 2", 0, kPbBadText, 2);
  check("(1 OR 2", 0, kPbBadText);
  check("1 and 2", 0, kPbBadText, 2);
  check("1 AND", 0, kPbBadFactor);
  check("4294967295 OR 1", 1, 0);
  check("4294967296", 0, kPbBadText, 0);
  check("(1 OR 2) AND 3", 1, 0);
  // An operator in the last places of the text still reads as one.
  check(std::string(796, ' ') + "1 OR", 0, kPbBadFactor, 800);
  check("", 1, 0);
  mm_destroy_pool(pool);
  // A number that names no line of the text's kind.
  Sel s;
  s.lines = {line(8, 1), line(9, 2)};
  EXPECT_FALSE(s.build("1 OR 2"));
  EXPECT_EQ(s.status, kPbBadText);
  EXPECT_EQ(s.pos, 5u);
  EXPECT_TRUE(s.build("1", "2"));
}

// ------------------------------------------------------------ sort keys --
// A value of a sort field: null first, then values in order; descending
// reverses all of it.
struct Val {
  bool null = false;
  std::string text;   // alpha
  __int128 num = 0;   // numbers, at the field's scale; dates: yyyymmdd
  bool operator<(const Val& o) const {
    if (null != o.null) return null;
    if (text != o.text) return text < o.text;
    return num < o.num;
  }
  bool operator==(const Val& o) const { return null == o.null && text == o.text && num == o.num; }
};

std::vector<uint8_t> key_of(const PbKeyDef& d, const std::vector<uint8_t>& rec, uint32_t ord = 1) {
  std::vector<uint8_t> k(d.key_len);
  pb_enc_key(d, rec.data(), ord, k.data());
  return k;
}

// Checks memcmp order of the keys of records against the order of vals.
void expect_order(const PbKeyDef& d, const std::vector<std::vector<uint8_t>>& recs, const std::vector<Val>& vals,
                  const char* what) {
  for (size_t i = 0; i < recs.size(); ++i)
    for (size_t j = 0; j < recs.size(); ++j) {
      auto a = key_of(d, recs[i]), b = key_of(d, recs[j]);
      int c = std::memcmp(a.data(), b.data(), d.key_len - 4);
      int want = vals[i] < vals[j] ? -1 : vals[j] < vals[i] ? 1 : 0;
      if (d.fields[0].order == '-') want = -want;
      ASSERT_EQ(c < 0 ? -1 : c > 0 ? 1 : 0, want) << what << " " << i << " " << j;
    }
}

PbKeyDef one_field(uint8_t type, uint16_t len, char order = '+', uint8_t decimals = 0, bool sgn = false) {
  PbKeyDef d;
  PbKeyField f;
  f.level = 1;
  f.type = type;
  f.len = len;
  f.order = order;
  f.decimals = decimals;
  f.is_signed = sgn;
  d.fields.push_back(f);
  return d;
}

TEST(PbKey, MemcmpOrderIsValueOrderForEveryType) {
  std::mt19937 rng(7);
  for (char order : {'+', '-'}) {
    // Alpha: blanks first, then byte order.
    {
      PbKeyDef d = one_field(1, 6, order);
      ASSERT_TRUE(pb_key_layout(&d));
      std::vector<std::vector<uint8_t>> recs;
      std::vector<Val> vals;
      for (std::string s : {"      ", "A     ", "AB    ", " A    ", "     A", "\x01     ", "zzzzzz", "AA    "}) {
        recs.emplace_back(s.begin(), s.end());
        Val v;
        v.null = s == "      ";
        v.text = v.null ? "" : s;
        vals.push_back(v);
      }
      expect_order(d, recs, vals, "alpha");
    }
    // Binaries of 1, 2 and 4 bytes, signed and not, with a null value.
    for (int len : {1, 2, 4})
      for (bool sgn : {false, true}) {
        PbKeyDef d = one_field(5, uint16_t(len), order, 0, sgn);
        d.fields[0].null_value.assign(size_t(len), 0xFF);
        ASSERT_TRUE(pb_key_layout(&d));
        std::vector<std::vector<uint8_t>> recs;
        std::vector<Val> vals;
        std::vector<int64_t> xs = {0, 1, 2, 127, 128, 255};
        if (len > 1) xs.insert(xs.end(), {256, 32767, 65534});
        if (len > 2) xs.insert(xs.end(), {65536, 2147483647LL, 4294967294LL});
        if (sgn) xs.insert(xs.end(), {-2, -128, len > 1 ? -32768 : -127, len > 2 ? -2147483648LL : -100});
        for (int64_t x : xs) {
          int64_t lim = int64_t(1) << (8 * len - (sgn ? 1 : 0));
          if (x >= lim || (sgn ? x < -lim : x < 0)) continue;
          std::vector<uint8_t> r(static_cast<size_t>(len));
          for (int i = 0; i < len; ++i) r[size_t(i)] = uint8_t(uint64_t(x) >> (8 * i));
          if (std::all_of(r.begin(), r.end(), [](uint8_t b) { return b == 0xFF; })) continue;
          recs.push_back(r);
          Val v;
          v.num = x;
          vals.push_back(v);
        }
        recs.push_back(std::vector<uint8_t>(size_t(len), 0xFF));
        Val nv;
        nv.null = true;
        vals.push_back(nv);
        expect_order(d, recs, vals, "binary");
      }
    // Packed decimals of even and odd digit counts, negatives, zero, null;
    // scaled numerics of other scales.
    for (uint8_t type : {uint8_t(8), uint8_t(12)})
      for (int len : {3, 4, 8}) {
        if (type == 12 && len != 8) continue;
        int stored = type == 12 ? 9 : len;
        PbKeyDef d = one_field(type, uint16_t(stored), order, 2);
        std::vector<uint8_t> null_rec(static_cast<size_t>(stored));
        CvNum nn{-1, 2};
        uint32_t msg;
        ASSERT_TRUE(cv_num_put(type, null_rec.data(), stored, 2 * len - 1, 2, true, nn, &msg));
        d.fields[0].null_value = null_rec;
        ASSERT_TRUE(pb_key_layout(&d));
        std::vector<std::vector<uint8_t>> recs;
        std::vector<Val> vals;
        __int128 max = 1;
        for (int i = 0; i < 2 * len - 1 - (type == 12 ? 1 : 0); ++i) max *= 10;
        std::vector<__int128> xs = {0, 1, 2, -2, 10, -10, 99, -99, 12345, -12345, max - 1, -(max - 1), max / 10, -max / 10};
        for (int i = 0; i < 30; ++i) xs.push_back(__int128(int64_t(rng() % 2000000) - 1000000) % max);
        // Scaled: all fifteen digits, negatives differing in the last one.
        if (type == 12) xs.insert(xs.end(), {-(max * 10 - 1), -(max * 10 - 2), max * 10 - 1});
        for (__int128 x : xs) {
          if (x == -1) continue;
          std::vector<uint8_t> r(static_cast<size_t>(stored));
          // Scaled numerics keep their own scale: the same value at 2 or 4.
          int sc = type == 12 && (int64_t(x) & 1) ? 4 : 2;
          CvNum n{sc == 4 ? x * 100 : x, sc};
          if (type == 12 && sc == 4 && (x * 100 >= max || -x * 100 >= max)) n = CvNum{x, 2};
          ASSERT_TRUE(cv_num_put(type, r.data(), stored, 2 * len - 1, 2, true, n, &msg)) << int64_t(x);
          recs.push_back(r);
          Val v;
          v.num = x;
          vals.push_back(v);
        }
        recs.push_back(null_rec);
        Val nv;
        nv.null = true;
        vals.push_back(nv);
        // Digits that do not read: after the null value, before every number.
        recs.push_back(std::vector<uint8_t>(size_t(stored), 0xAA));
        Val bad;
        bad.num = -(__int128(1) << 120);
        vals.push_back(bad);
        expect_order(d, recs, vals, type == 8 ? "packed" : "scaled");
      }
    // Dates: binary day numbers (storage 7, 4 bytes), all ones the null date.
    {
      PbKeyDef d = one_field(7, 4, order);
      d.fields[0].date.type = kDtBin;
      d.fields[0].date.len = 4;
      d.fields[0].date.high = 8;
      d.fields[0].date.low = 5;
      ASSERT_TRUE(pb_key_layout(&d));
      std::vector<std::vector<uint8_t>> recs;
      std::vector<Val> vals;
      // A day past the last date (3652060) does not read: after the null
      // date, before day 0 (no date: all zeros) and day 1 (year 1, century 0).
      for (uint32_t day : {0u, 1u, 2u, 255u, 256u, 65536u, 700000u, 738000u, 3652059u, 3652060u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> r(4);
        for (int i = 0; i < 4; ++i) r[size_t(i)] = uint8_t(day >> (8 * i));
        recs.push_back(r);
        Val v;
        v.null = day == 0xFFFFFFFFu;
        v.num = v.null ? 0 : day == 3652060u ? -1 : __int128(day);
        vals.push_back(v);
      }
      expect_order(d, recs, vals, "date");
    }
  }
}

// A key of fields of the longest records: up to 65535 bytes with the
// ordinal it lays out; one byte more is refused, never a length that wraps
// (pb_enc_key writes every field's bytes at its offset).
TEST(PbKey, AKeyPastItsLengthFieldIsRefused) {
  PbKeyDef d = one_field(1, uint16_t(FM_MAX_REC));
  d.fields.push_back(d.fields[0]);
  d.fields[1].len = uint16_t(65535 - 4 - FM_MAX_REC);
  ASSERT_TRUE(pb_key_layout(&d));
  EXPECT_EQ(d.key_len, 65535u);
  d.fields[1].len++;
  EXPECT_FALSE(pb_key_layout(&d)) << "a key of 65536 bytes laid out as " << d.key_len;
}

// --------------------------------------------------------- sort, merge --
// Records: alpha 6 at 0, signed binary 4 at 6 (null all ones), packed 4 at
// 10 (2 decimals); id 4 bytes.
struct SortCase {
  std::vector<std::vector<uint8_t>> recs;
  std::vector<Val> v[3];
};

SortCase make_case(std::mt19937& rng, size_t n) {
  SortCase c;
  const char* words[] = {"      ", "ALPHA ", "BETA  ", "alpha ", "ZULU  ", "A     "};
  for (size_t i = 0; i < n; ++i) {
    std::vector<uint8_t> r(14);
    std::string w = words[rng() % 6];
    std::memcpy(r.data(), w.data(), 6);
    Val a;
    a.null = w == "      ";
    a.text = a.null ? "" : w;
    int32_t b = int32_t(rng() % 7) - 3;
    bool bnull = rng() % 9 == 0;
    uint32_t ub = bnull ? 0xFFFFFFFFu : uint32_t(b);
    for (int k = 0; k < 4; ++k) r[size_t(6 + k)] = uint8_t(ub >> (8 * k));
    Val bv;
    bv.null = bnull || b == -1;
    bv.num = bv.null ? 0 : b;
    int64_t p = int64_t(rng() % 9) - 4;
    CvNum num{p * 25, 2};
    uint32_t msg;
    cv_num_put(8, r.data() + 10, 4, 7, 2, true, num, &msg);
    Val pv;
    pv.num = p * 25;
    c.recs.push_back(r);
    c.v[0].push_back(a);
    c.v[1].push_back(bv);
    c.v[2].push_back(pv);
  }
  return c;
}

class PbSortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bi_init_com();
    fms_init();
    setenv("QUVOPATH", dir.str().c_str(), 1);
  }
  void TearDown() override { fm_shutdown(); }
  TempDir dir;
};

// Sorts a case with fields `use` (field index and order) under a run
// memory; compares ids and levels with a stable sort by value.
void check_sort(const SortCase& c, const std::vector<std::pair<int, char>>& use, uint64_t run_mem,
                PbSortStats* stats_out = nullptr) {
  PbKeyDef d;
  uint8_t lvl = 0;
  for (auto [f, order] : use) {
    PbKeyField k;
    k.level = ++lvl;
    k.order = order;
    if (f == 0) k.type = 1, k.offset = 0, k.len = 6;
    if (f == 1) k.type = 5, k.offset = 6, k.len = 4, k.is_signed = true, k.null_value.assign(4, 0xFF);
    if (f == 2) k.type = 8, k.offset = 10, k.len = 4, k.decimals = 2;
    d.fields.push_back(k);
  }
  ASSERT_TRUE(pb_key_layout(&d));
  size_t n = c.recs.size();
  std::vector<uint32_t> want(n);
  for (size_t i = 0; i < n; ++i) want[i] = uint32_t(i);
  auto cmp = [&](uint32_t a, uint32_t b) {
    for (auto [f, order] : use) {
      const Val &x = c.v[f][a], &y = c.v[f][b];
      if (x == y) continue;
      return order == '+' ? x < y : y < x;
    }
    return false;
  };
  std::stable_sort(want.begin(), want.end(), cmp);
  auto level = [&](uint32_t a, uint32_t b) {
    for (size_t k = 0; k < use.size(); ++k)
      if (!(c.v[use[k].first][a] == c.v[use[k].first][b])) return uint16_t(k + 1);
    return uint16_t(use.size() + 1);
  };
  int rc = mark(1, [&] {
    PbSort s("QAP", com.depth, 0x100, d.key_len, 4, d.level_of, d.levels, run_mem);
    std::vector<uint8_t> e(d.key_len + 4u);
    for (size_t i = 0; i < n; ++i) {
      pb_enc_key(d, c.recs[i].data(), uint32_t(i + 1), e.data());
      rec::view<rec::U32>(e.data() + d.key_len).set(uint32_t(i));
      ASSERT_TRUE(s.add(e.data())) << s.status();
    }
    ASSERT_TRUE(s.finish()) << s.status();
    PbPtr p;
    for (size_t i = 0; i < n; ++i) {
      ASSERT_TRUE(s.next(&p)) << i << " " << s.status();
      uint32_t id = rec::view<rec::U32>(p.id);
      ASSERT_EQ(id, want[i]) << "at " << i << " of " << n << ", run memory " << run_mem;
      EXPECT_EQ(p.before, i ? level(want[i - 1], want[i]) : 0) << i;
      EXPECT_EQ(p.after, i + 1 < n ? level(want[i], want[i + 1]) : 0) << i;
    }
    EXPECT_FALSE(s.next(&p));
    EXPECT_EQ(s.status(), 200360u);
    if (stats_out) *stats_out = s.stats();
  });
  EXPECT_EQ(rc, 1);
}

TEST_F(PbSortTest, SortAndMergeEqualAStableSortByValue) {
  std::mt19937 rng(11);
  uint16_t elem = 6 + 5 + 5 + 4 + 4;  // alpha, binary, packed, ordinal, id (all three fields)
  for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(5), size_t(37), size_t(300), size_t(1000)}) {
    SortCase c = make_case(rng, n);
    std::vector<std::pair<int, char>> all = {{0, '+'}, {1, '-'}, {2, '+'}};
    PbSortStats st;
    check_sort(c, all, 262143, &st);
    EXPECT_EQ(st.runs, 0u) << "one run stays in memory";
    // 1, 2, 3 and 7 elements a run; 0 gives one.
    for (uint64_t per : {1, 2, 3, 7}) {
      check_sort(c, all, per * (elem + 8u), &st);
      EXPECT_EQ(st.capacity, per);
    }
    check_sort(c, all, 0);
    // An exact multiple of the run capacity.
    if (n >= 5) {
      check_sort(c, all, (n / 5) * (elem + 8u), &st);
      EXPECT_GE(st.runs, n % (n / 5) ? 6u : 5u);
    }
  }
  // One to three fields, each order.
  SortCase c = make_case(rng, 500);
  for (auto use : std::vector<std::vector<std::pair<int, char>>>{
           {{0, '-'}}, {{1, '+'}}, {{2, '-'}}, {{2, '+'}, {0, '-'}}, {{1, '+'}, {2, '+'}, {0, '+'}}})
    for (uint64_t mem : {uint64_t(262143), uint64_t(1), uint64_t(4 * 32)}) check_sort(c, use, mem);
}

// Elements of a key as long as the longest record (and its ordinal) are
// longer than a work file's block: sorted in memory, or refused once they
// would go to the work files (never copied past a block's buffer). An
// element of a whole block (32000 bytes) still goes through the files.
TEST_F(PbSortTest, ElementsPastAWorkFileBlockSortInMemoryOrAreRefused) {
  struct Case {
    uint16_t key_len;
    uint64_t mem;
    bool ok;
  };
  const uint16_t longest = uint16_t(FM_MAX_REC + 4);
  // And an element's length is 16 bits: 65535 bytes sort, one more is refused.
  for (Case k : {Case{longest, uint64_t(1) << 24, true}, Case{longest, 1, false}, Case{32000 - 4, 1, true},
                 Case{32000 - 3, 1, false}, Case{65531, uint64_t(1) << 24, true},
                 Case{65532, uint64_t(1) << 24, false}}) {
    const uint16_t key_len = k.key_len;
    int rc = mark(1, [&] {
      PbSort s("QAP", com.depth, 0x400, key_len, 4, std::vector<uint8_t>(key_len, 1), 1, k.mem);
      std::vector<uint8_t> e(key_len + 4u);
      bool ok = true;
      for (uint32_t i = 0; i < 3 && ok; ++i) {
        std::fill(e.begin(), e.end(), uint8_t('C' - i));
        rec::view<rec::U32>(e.data() + key_len).set(i);
        ok = s.add(e.data());
      }
      ok = ok && s.finish();
      if (!k.ok) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(s.status(), FM_ST_TOO_LONG);
        return;
      }
      ASSERT_TRUE(ok) << s.status();
      PbPtr p;
      for (uint32_t want : {2u, 1u, 0u}) {
        ASSERT_TRUE(s.next(&p)) << s.status();
        EXPECT_EQ(rec::view<rec::U32>(p.id).get(), want);
      }
      EXPECT_FALSE(s.next(&p));
    });
    EXPECT_EQ(rc, 1) << key_len << " " << k.mem;
  }
}

TEST_F(PbSortTest, ManyRunsMergeInPhasesWithSixFiles) {
  std::mt19937 rng(5);
  SortCase c = make_case(rng, 3000);
  PbSortStats st;
  check_sort(c, {{2, '+'}, {0, '+'}}, 1, &st);
  EXPECT_EQ(st.runs, 3000u);
  EXPECT_GT(st.passes, 2u);
  // The work files went with the sort.
  size_t files = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(dir.path))
    if (e.is_regular_file()) ++files;
  EXPECT_EQ(files, 0u);
}

}  // namespace

namespace {

size_t files_below(const std::filesystem::path& p) {
  size_t n = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(p))
    if (e.is_regular_file()) ++n;
  return n;
}

// Elements of a 4-byte key and a 4-byte id: key i, id i.
void add_n(PbSort& s, uint32_t from, uint32_t n) {
  for (uint32_t i = from; i < from + n; ++i) {
    uint8_t e[8];
    for (int k = 0; k < 4; ++k) e[k] = uint8_t((i * 2654435761u) >> (24 - 8 * k));
    std::memcpy(e + 4, &i, 4);
    ASSERT_TRUE(s.add(e)) << s.status();
  }
}

TEST_F(PbSortTest, AnUnwindLeavesNoWorkFileAndADamagedOneFailsTheSort) {
  // Runs on their files, then the scope unwinds: nothing stays.
  int rc = mark(1, [&] {
    PbSort s("QAP", com.depth, 0x200, 4, 4, std::vector<uint8_t>(4, 1), 1, 3 * 16);
    add_n(s, 0, 50);
    EXPECT_EQ(files_below(dir.path), 6u);
    ut_unwind(104250);
  });
  EXPECT_EQ(rc, 104250);
  EXPECT_EQ(files_below(dir.path), 0u);
  // A run file cut short under the sort: the sort fails with a status, it
  // never delivers a shorter result.
  rc = mark(1, [&] {
    PbSort s("QAP", com.depth, 0x200, 4, 4, std::vector<uint8_t>(4, 1), 1, 3 * 16);
    add_n(s, 0, 50);
    for (auto& e : std::filesystem::recursive_directory_iterator(dir.path))
      if (e.is_regular_file() && std::filesystem::file_size(e.path()) > 200)
        std::filesystem::resize_file(e.path(), std::filesystem::file_size(e.path()) - 12);
    int ok = s.finish();
    PbPtr p;
    uint32_t n = 0;
    while (ok && s.next(&p)) ++n;
    EXPECT_FALSE(ok && n == 50u && s.status() == 200360u) << "a damaged run went unnoticed";
    EXPECT_NE(s.status(), 200360u);
  });
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(files_below(dir.path), 0u);
}

}  // namespace

namespace {

// The query files of a query scope: a query's own records only, its
// selection built from them, the marks stored, and the refusals.
struct PbQfi : ::testing::Test {
  void SetUp() override {
    bi_init_com();
    fms_init();
  }
  void TearDown() override { fm_shutdown(); }
};

TEST_F(PbQfi, ASelectionIsReadFromTheQueryFilesOfItsScope) {
  SysErrCapture se(SysErrAnswer::Continue);
  int rc = mark(1, [&] {
    int scope = com.depth;
    EXPECT_EQ(pb_open_qfi(scope, "QPARM", "ABC", "Q1"), nullptr);
    EXPECT_NE(se.last().find("can't open QPARM file"), std::string::npos) << se.last();
    EXPECT_EQ(pb_open_qfi(scope, "QXX", "ABC", "Q1"), nullptr);
    EXPECT_NE(se.last().find("bad QFI name: QXX"), std::string::npos) << se.last();
    EXPECT_EQ(pb_open_qfi(scope, "QTAG", "ABC", "Q1"), nullptr);

    MmPool pool = mm_create_pool(nullptr, scope, 0);
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), 17));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), 64));
    FmFdb f;
    INIT_QPARM_FDB(&f, kdb, sdb, scope);
    ASSERT_TRUE(FM_CREATE(&f, scope, 0, 0, 15, 15));
    FmArb* parm = f.handle.get();
    auto* r = static_cast<uint8_t*>(MM_ALLOC(pool, 1644));
    for (auto [q, t8] : {std::pair{"Q1", "1 OR 2"}, std::pair{"Q2", "1 AND 7"}}) {
      std::memset(r, ' ', 1644);
      std::memcpy(r, "ABC", 3);
      std::memcpy(r + 3, q, 2);
      std::memcpy(r + 41, t8, std::strlen(t8));
      PROTO_FULL(parm, 0, r);
      ASSERT_TRUE(fm_write(parm));
    }
    // QSLCT is made when missing.
    FmArb* sl = pb_open_qfi(scope, "QSLCT", "ABC", "Q1");
    ASSERT_NE(sl, nullptr);
    auto* lr = static_cast<PbQslct*>(MM_ALLOC(pool, sizeof(PbQslct)));
    for (auto [q, no, mark] : {std::tuple{"Q1", 1u, '0'}, std::tuple{"Q1", 2u, '0'}, std::tuple{"Q1", 3u, '1'},
                               std::tuple{"Q2", 1u, '1'}, std::tuple{"Q2", 5u, '0'}}) {
      *lr = line(8, no);
      lr->app.set("ABC");
      lr->name.set(q);
      lr->mentioned = uint8_t(mark);
      PROTO_FULL(sl->parent.get(), 0, reinterpret_cast<uint8_t*>(lr));
      ASSERT_TRUE(fm_write(sl->parent.get()));
    }
    std::vector<PbQslct> lines;
    PbTree tree;
    uint32_t st = 0;
    size_t pos = 0;
    ASSERT_TRUE(pb_load_slct(scope, "ABC", "Q1", &lines, &tree, &st, &pos)) << st;
    ASSERT_EQ(lines.size(), 3u);
    std::vector<PbStep> prog = pb_cmpl_slct(tree);
    auto run = [&](unsigned truth) {
      return pb_run_slct(prog, [&](int i) { return bool((truth >> (lines[size_t(i)].line - 1)) & 1); });
    };
    // Line 3, no longer mentioned, is ANDed in front.
    EXPECT_TRUE(run(0b101));
    EXPECT_FALSE(run(0b011));
    // The stored marks: Q1's as built, Q2's as they were.
    std::string marks;
    PROTO_FULL(sl->parent.get(), 0, reinterpret_cast<uint8_t*>(lr));
    sl->parent.get()->op = FM_OP_FIRST;
    fm_start(sl->parent.get());
    sl->parent.get()->op = 0;
    while (fm_rdnxt(sl->parent.get())) marks += char(lr->mentioned);
    EXPECT_EQ(marks, "11010");
    // Q2 names a line it does not have.
    EXPECT_FALSE(pb_load_slct(scope, "ABC", "Q2", &lines, &tree, &st, &pos));
    EXPECT_EQ(st, kPbBadText);
  });
  EXPECT_EQ(rc, 1);
}

}  // namespace

namespace {

// QSORT lines and their elements into a sort key: a descending text date,
// then a group of an alpha and a packed number with a null value.
TEST(PbKey, QsortLinesAndElementsGiveTheKeyOfTheirValues) {
  bi_init_com();
  auto el = [](const char* name, fx::Values more) {
    fx::Values v = {{"name", name}, {"kind", "1"}, {"occurs", "1"}};
    for (auto& m : more) v.push_back(m);
    return rec::view<DElem>(fx::rec("ELEMENT", v).data());
  };
  DElem name = el("NAME", {{"offset", "0"}, {"length", "6"}, {"type", "1"}});
  DElem amt = el("AMT", {{"offset", "6"}, {"length", "5"}, {"type", "8"}, {"decimals", "2"}, {"digits", "7"},
                         {"sign", "1"}, {"null_value", "-999.99"}});
  DElem day = el("DAY", {{"offset", "11"}, {"length", "8"}, {"type", "4"}, {"digits", "8"}, {"decimals", "5"}});
  DElem grp = el("GRP", {{"kind", "2"}});
  DElem end = el("GRP END", {{"kind", "3"}});
  auto qs = [](uint32_t seq, const char* field, char order, char sorted) {
    PbQsort q;
    std::memset(static_cast<void*>(&q), ' ', sizeof q);
    q.seq = seq;
    q.field.set(field);
    q.occ = 1;
    q.order[0] = order;
    q.sorted[0] = sorted;
    return q;
  };
  std::vector<PbQsort> lines = {qs(1, "DAY", '-', '1'), qs(0, "", '+', '1'), qs(2, "GRP", '+', '1'),
                                qs(3, "NAME", '+', '0')};
  PbKeyDef d;
  ASSERT_TRUE(pb_cmpl_sort(
      lines,
      [&](const PbQsort& l) -> std::vector<DElem> {
        if (l.field == "DAY") return {day};
        if (l.field == "GRP") return {grp, name, amt, end};
        if (l.field == "NAME") return {name};
        return {};
      },
      "ABC", "00", &d));
  ASSERT_EQ(d.fields.size(), 4u);
  EXPECT_EQ(d.levels, 2);
  EXPECT_EQ(d.key_len, 8 + 6 + 6 + 4);
  ASSERT_EQ(d.fields[2].null_value.size(), 5u);

  std::mt19937 rng(3);
  struct R {
    std::vector<uint8_t> b;
    std::string day, name;
    bool amt_null;
    int64_t amt;
  };
  std::vector<R> rs;
  const char* days[] = {"        ", "19991231", "20000101", "20260207", "20260208", "18000101"};
  const char* names[] = {"      ", "ALPHA ", "BETA  ", "A     "};
  for (int i = 0; i < 400; ++i) {
    R r;
    r.b.assign(19, ' ');
    r.day = days[rng() % 6];
    r.name = names[rng() % 4];
    r.amt_null = rng() % 5 == 0;
    r.amt = r.amt_null ? -99999 : int64_t(rng() % 2001) - 1000;
    std::memcpy(r.b.data(), r.name.data(), 6);
    uint32_t msg;
    ASSERT_TRUE(cv_num_put(8, r.b.data() + 6, 5, 9, 2, true, CvNum{r.amt, 2}, &msg));
    std::memcpy(r.b.data() + 11, r.day.data(), 8);
    rs.push_back(r);
  }
  std::vector<size_t> want(rs.size());
  for (size_t i = 0; i < want.size(); ++i) want[i] = i;
  std::stable_sort(want.begin(), want.end(), [&](size_t a, size_t b) {
    const R &x = rs[a], &y = rs[b];
    // DAY descending: the blank (null) date sorts first ascending, so last.
    bool xn = x.day[0] == ' ', yn = y.day[0] == ' ';
    if (xn != yn) return yn;
    if (x.day != y.day) return x.day > y.day;
    bool xb = x.name[0] == ' ', yb = y.name[0] == ' ';
    if (xb != yb) return xb;
    if (x.name != y.name) return x.name < y.name;
    if (x.amt_null != y.amt_null) return x.amt_null;
    return x.amt < y.amt;
  });
  std::vector<std::vector<uint8_t>> keys;
  for (size_t i = 0; i < rs.size(); ++i) keys.push_back(key_of(d, rs[i].b, uint32_t(i + 1)));
  std::vector<size_t> got(rs.size());
  for (size_t i = 0; i < got.size(); ++i) got[i] = i;
  std::sort(got.begin(), got.end(), [&](size_t a, size_t b) { return bytes_less(keys[a], keys[b]); });
  EXPECT_EQ(got, want);
  // The break level of neighbours: DAY's level, the group's, or past the
  // levels when only their ordinals differ.
  for (size_t i = 0; i + 1 < got.size(); ++i) {
    const R &x = rs[got[i]], &y = rs[got[i + 1]];
    uint16_t lvl = x.day != y.day ? 1 : x.name != y.name || x.amt != y.amt ? 2 : 3;
    EXPECT_EQ(pb_break_level(d, keys[got[i]].data(), keys[got[i + 1]].data()), lvl) << i;
  }
  EXPECT_EQ(pb_break_level(d, keys[0].data(), keys[0].data()), 3);
}

}  // namespace

namespace {

// Every storage type of a date: memcmp order of the keys is date order, the
// null date first.
TEST(PbKey, DatesOfEveryStorageTypeSortByDate) {
  bi_init_com();
  std::mt19937 rng(9);
  for (uint8_t t : {3, 4, 6, 7, 9, 10, 15}) {
    bool jul = t == 3 || t == 6 || t == 9;
    int len = t == 15 ? 8 : cv_date_stored_len(t, 8, 5, jul);
    ASSERT_GT(len, 0) << int(t);
    PbKeyDef d = one_field(t, uint16_t(len));
    d.fields[0].date.type = t;
    d.fields[0].date.len = uint16_t(len);
    d.fields[0].date.high = 8;
    d.fields[0].date.low = t == 15 ? 1 : 5;
    d.fields[0].date.julian = jul;
    ASSERT_TRUE(pb_key_layout(&d));
    std::vector<std::vector<uint8_t>> recs;
    std::vector<Val> vals;
    for (int i = 0; i < 40; ++i) {
      uint8_t date[8] = {uint8_t(18 + rng() % 3), uint8_t(rng() % 100), uint8_t(1 + rng() % 12),
                         uint8_t(1 + rng() % 28), 0, 0, 0, 0};
      DateDesc dd = d.fields[0].date;
      std::vector<uint8_t> r(static_cast<size_t>(len));
      dd.value = r.data();
      std::memcpy(dd.date, date, 8);
      ASSERT_TRUE(cv_ston_date(&dd)) << int(t) << " " << dd.msg;
      recs.push_back(r);
      Val v;
      v.num = ((date[0] * 100 + date[1]) * 100 + date[2]) * 100 + date[3];
      vals.push_back(v);
    }
    // the null date
    DateDesc dd = d.fields[0].date;
    std::vector<uint8_t> r(static_cast<size_t>(len));
    dd.value = r.data();
    std::memset(dd.date, 0xFF, 8);
    ASSERT_TRUE(cv_ston_date(&dd)) << int(t);
    recs.push_back(r);
    Val nv;
    nv.null = true;
    vals.push_back(nv);
    expect_order(d, recs, vals, "date type");
  }
}

}  // namespace

namespace {

// Read-next over pointer records with records gone and held: the events
// equal those of the surviving records' breaks computed directly.
struct Ptrs {
  std::vector<std::vector<int>> keys;   // sorted tuples
  std::vector<uint32_t> ids;
  std::vector<uint16_t> before, after;
  int levels;
  uint16_t brk(size_t a, size_t b) const {
    for (int k = 0; k < levels; ++k)
      if (keys[a][size_t(k)] != keys[b][size_t(k)]) return uint16_t(k + 1);
    return uint16_t(levels + 1);
  }
};

Ptrs make_ptrs(std::mt19937& rng, size_t n, int levels) {
  Ptrs p;
  p.levels = levels;
  for (size_t i = 0; i < n; ++i) {
    std::vector<int> k;
    for (int j = 0; j < levels; ++j) k.push_back(int(rng() % 3));
    p.keys.push_back(k);
  }
  std::stable_sort(p.keys.begin(), p.keys.end());
  for (size_t i = 0; i < n; ++i) {
    p.ids.push_back(uint32_t(i));
    p.before.push_back(i ? p.brk(i - 1, i) : 0);
    p.after.push_back(i + 1 < n ? p.brk(i, i + 1) : 0);
  }
  return p;
}

// state per record: 0 there, 1 gone, 2 held by another user
std::vector<std::pair<uint32_t, uint16_t>> read_all(const Ptrs& p, const std::vector<int>& state, bool events,
                                                    uint32_t* end) {
  size_t at = 0;
  uint32_t idbuf;
  PbReader r(
      uint16_t(p.levels), events,
      [&](PbPtr* out, uint32_t* st) {
        if (at >= p.ids.size()) {
          *st = kPbEnd;
          return 0;
        }
        idbuf = p.ids[at];
        out->before = p.before[at];
        out->after = p.after[at];
        out->id = reinterpret_cast<const uint8_t*>(&idbuf);
        ++at;
        return 1;
      },
      [&](const uint8_t* id) -> uint32_t {
        uint32_t i;
        std::memcpy(&i, id, 4);
        return state[i] == 1 ? kPbGone : state[i] == 2 ? 200530u : 0u;
      });
  std::vector<std::pair<uint32_t, uint16_t>> out;
  PbEvent ev;
  while (r.next(&ev, end)) out.emplace_back(ev.status, ev.status == kPbLevelStart || ev.status == kPbLevelEnd ? ev.level : uint16_t(0));
  return out;
}

TEST(PbRead, LevelEventsStayBalancedWhenRecordsAreGoneOrHeld) {
  std::mt19937 rng(17);
  for (int round = 0; round < 600; ++round) {
    int levels = 1 + int(rng() % 3);
    Ptrs p = make_ptrs(rng, rng() % 12, levels);
    std::vector<int> state(p.ids.size());
    for (int& s : state) s = rng() % 3 == 0 ? 1 : (rng() % 7 == 0 ? 2 : 0);
    std::vector<size_t> alive;
    for (size_t i = 0; i < state.size(); ++i)
      if (state[i] != 1) alive.push_back(i);
    for (bool events : {false, true}) {
      std::vector<std::pair<uint32_t, uint16_t>> want;
      auto rec = [&](size_t i) { want.emplace_back(state[i] == 2 ? 200530u : kPbRecord, 0); };
      auto starts = [&](int from) {
        for (int l = from; l <= levels; ++l) want.emplace_back(kPbLevelStart, uint16_t(l));
      };
      auto ends = [&](int to) {
        for (int l = levels; l >= to; --l) want.emplace_back(kPbLevelEnd, uint16_t(l));
      };
      for (size_t k = 0; k < alive.size(); ++k) {
        if (events && k == 0) starts(0);
        rec(alive[k]);
        if (!events) continue;
        if (k + 1 < alive.size()) {
          uint16_t b = p.brk(alive[k], alive[k + 1]);
          if (b <= levels) {
            ends(b);
            starts(b);
          }
        } else {
          ends(0);
        }
      }
      uint32_t end = 0;
      auto got = read_all(p, state, events, &end);
      ASSERT_EQ(got, want) << "round " << round << (events ? " with" : " without") << " level events";
      EXPECT_EQ(end, kPbEnd);
    }
  }
  // Two sort levels, (x,1) and (x,2) gone, (y,1) read without level
  // events: one record, no level end.
  Ptrs p;
  p.levels = 2;
  p.keys = {{0, 1}, {0, 2}, {1, 1}};
  p.ids = {0, 1, 2};
  p.before = {0, 2, 1};
  p.after = {2, 1, 0};
  uint32_t end = 0;
  auto got = read_all(p, {1, 1, 0}, false, &end);
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint16_t>>{{kPbRecord, 0}}));
  // A read that fails otherwise fails the read-next with its status.
  size_t n = 0;
  PbReader r(
      1, true,
      [&](PbPtr* out, uint32_t*) {
        static uint32_t id = 0;
        out->after = 1, out->before = 0, out->id = reinterpret_cast<const uint8_t*>(&id);
        return ++n < 5 ? 1 : 0;
      },
      [](const uint8_t*) -> uint32_t { return 200660; });
  PbEvent ev;
  uint32_t st = 0;
  EXPECT_EQ(r.next(&ev, &st), 0);
  EXPECT_EQ(st, 200660u);
}

}  // namespace

namespace {

TEST(PbSortMem, RunMemoryFromTheEnvironmentAndItsCapacity) {
  const char* old = std::getenv("QUVO_RUN_MEM");
  std::string keep = old ? old : "";
  unsetenv("QUVO_RUN_MEM");
  EXPECT_EQ(pb_run_mem(), 262143u);
  for (auto [text, want] : {std::pair{"0", 0ull}, std::pair{"1048576", 1048576ull}, std::pair{"12x", 262143ull},
                            std::pair{"-5", 262143ull}, std::pair{"", 262143ull}}) {
    setenv("QUVO_RUN_MEM", text, 1);
    EXPECT_EQ(pb_run_mem(), want) << text;
  }
  if (old) setenv("QUVO_RUN_MEM", keep.c_str(), 1);
  else unsetenv("QUVO_RUN_MEM");
  // At least one element; 8 index bytes per element; a large run memory
  // keeps 1 MiB for the work files' blocks.
  EXPECT_EQ(PbSort::capacity(0, 20), 1u);
  EXPECT_EQ(PbSort::capacity(27, 20), 1u);
  EXPECT_EQ(PbSort::capacity(28, 20), 1u);
  EXPECT_EQ(PbSort::capacity(56, 20), 2u);
  EXPECT_EQ(PbSort::capacity(64ull << 20, 24), ((64ull << 20) - (1u << 20)) / 32);
  EXPECT_EQ(PbSort::capacity(8ull << 20, 24), (7ull << 20) / 32);
  EXPECT_EQ(PbSort::capacity((8ull << 20) - 1, 24), ((8ull << 20) - 1) / 32);
  EXPECT_EQ(PbSort::capacity(UINT64_MAX, 1), 0x7FFFFFFFu);
}

}  // namespace

namespace {

// Record ids of another length (a unique key's value): carried whole
// through runs, merge and pointer records.
TEST_F(PbSortTest, LongRecordIdsComeBackWhole) {
  std::mt19937 rng(23);
  for (uint64_t per : {1ull, 3ull, 1000ull}) {
    int rc = mark(1, [&] {
      const uint16_t key_len = 6, id_len = 13;
      PbSort s("QAP", com.depth, 0x300, key_len, id_len, std::vector<uint8_t>(key_len, 1), 1,
               per * (key_len + id_len + 8u));
      std::vector<std::vector<uint8_t>> els;
      for (uint32_t i = 0; i < 400; ++i) {
        std::vector<uint8_t> e(key_len + id_len);
        e[0] = uint8_t(rng() % 4);
        e[1] = uint8_t(rng() % 4);
        for (int k = 0; k < 4; ++k) e[size_t(2 + k)] = uint8_t(i >> (24 - 8 * k));  // the ordinal
        for (int k = 0; k < id_len; ++k) e[size_t(key_len + k)] = uint8_t(rng());
        els.push_back(e);
        ASSERT_TRUE(s.add(e.data()));
      }
      ASSERT_TRUE(s.finish()) << s.status();
      std::sort(els.begin(), els.end(), bytes_less);
      PbPtr p;
      for (const auto& e : els) {
        ASSERT_TRUE(s.next(&p));
        EXPECT_EQ(std::memcmp(p.id, e.data() + key_len, id_len), 0);
      }
      EXPECT_FALSE(s.next(&p));
    });
    EXPECT_EQ(rc, 1);
  }
}

}  // namespace
