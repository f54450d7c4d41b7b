// Standard headings and totals of reports: the page and column headings as
// laid out in the STD record, and the rolled totals against exact 128-bit
// sums (QUVO_SEED repeats a run).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "executors/opstd.h"
#include "foundation/cv.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "foundation/la.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/pipcf.h"
#include "foundation/pd.h"
#include "gen.h"

namespace {

using i128 = __int128;

i128 p10(int n) {
  i128 v = 1;
  while (n-- > 0) v *= 10;
  return v;
}
int digits(i128 v) {
  if (v < 0) v = -v;
  int d = 0;
  while (v != 0) v /= 10, ++d;
  return d;
}

OpBucket bucket(int64_t v, int scale) {
  OpBucket b;
  EXPECT_EQ(pd_cvp64(b.value.data(), 8, v), 1);
  b.scale = uint8_t(scale);
  b.ovf = 0;
  return b;
}
i128 value_of(const OpBucket& b) {
  bool ok = false;
  int64_t v = pd_cvb64(b.value.data(), 8, &ok);
  EXPECT_TRUE(ok);
  return v;
}

// What a roll must give: the exact sum at the larger scale, then decimals
// dropped (toward zero) down to 15 digits; overflow when that is not enough.
struct Want {
  bool ovf;
  i128 v;
  int scale;
};
Want oracle(i128 a, int as, i128 b, int bs) {
  int s = std::max(as, bs);
  i128 sum = a * p10(s - as) + b * p10(s - bs);
  int d = digits(sum);
  if (d <= 15) return {false, sum, s};
  int drop = d - 15;
  if (drop > s) return {true, 0, 0};
  return {false, sum / p10(drop), s - drop};  // C++ division truncates toward zero
}

uint32_t seed() {
  const char* s = std::getenv("QUVO_SEED");
  return s ? uint32_t(std::strtoul(s, nullptr, 10)) : 20261207u;
}

TEST(OpStd, RollsAgreeWithExactSumsOnRandomValuesAndScales) {
  std::mt19937_64 rng(seed());
  int overflows = 0, narrowed = 0;
  for (int i = 0; i < 20000; ++i) {
    // Magnitudes of every length up to 15 digits, both signs, scales 0-15.
    auto pick = [&] {
      int d = int(rng() % 16);
      int64_t v = d ? int64_t(rng() % uint64_t(p10(d))) : 0;
      if (i % 3 == 0 && d == 15) v = int64_t(p10(15) - 1 - int64_t(rng() % 1000));
      return (rng() & 1) ? -v : v;
    };
    int64_t a = pick(), b = pick();
    int as = int(rng() % 16), bs = int(rng() % 16);
    OpBucket src = bucket(a, as), tgt = bucket(b, bs);
    Want w = oracle(a, as, b, bs);
    int r = op_roll_bucket(src, tgt);
    ASSERT_EQ(r, w.ovf ? 0 : 1) << i << ": " << int64_t(a) << "@" << as << " + " << int64_t(b) << "@" << bs;
    EXPECT_EQ(value_of(src), 0);
    EXPECT_EQ(int(src.scale), 0);
    if (w.ovf) {
      ++overflows;
      EXPECT_EQ(int(tgt.ovf), 1);
      continue;
    }
    if (w.scale < std::max(as, bs)) ++narrowed;
    ASSERT_EQ(int(tgt.scale), w.scale) << i;
    ASSERT_TRUE(value_of(tgt) == w.v) << i << ": " << int64_t(a) << "@" << as << " + " << int64_t(b) << "@" << bs;
  }
  EXPECT_GT(overflows, 10);
  EXPECT_GT(narrowed, 100);
}

TEST(OpStd, RollBoundsAtFifteenDigits) {
  const int64_t max15 = 999999999999999;
  {  // 15 digits exactly: kept
    OpBucket s = bucket(max15 - 1, 0), t = bucket(1, 0);
    EXPECT_EQ(op_roll_bucket(s, t), 1);
    EXPECT_TRUE(value_of(t) == max15);
  }
  {  // one past at scale 0: overflow, never a wrapped scale
    OpBucket s = bucket(max15, 0), t = bucket(1, 0);
    EXPECT_EQ(op_roll_bucket(s, t), 0);
    EXPECT_EQ(int(t.ovf), 1);
    // and it stays so: a later roll into it adds nothing
    OpBucket s2 = bucket(5, 0);
    EXPECT_EQ(op_roll_bucket(s2, t), 0);
  }
  {  // one past with a decimal to spare: the decimal goes
    OpBucket s = bucket(max15, 1), t = bucket(1, 1);  // 99999999999999.9 + 0.1
    EXPECT_EQ(op_roll_bucket(s, t), 1);
    EXPECT_EQ(int(t.scale), 0);
    EXPECT_TRUE(value_of(t) == 100000000000000);
  }
  {  // integer part of exactly 15 digits at scale 2: decimals go, the integer stays
    OpBucket s = bucket(max15, 2), t = bucket(max15, 0);  // 9999999999999.99 + 999999999999999
    Want w = oracle(max15, 2, max15, 0);
    EXPECT_EQ(op_roll_bucket(s, t), 0);
    EXPECT_TRUE(w.ovf);
  }
  {  // a scale gap past 16: the finer decimals go first, the sum stays right
    OpBucket s = bucket(123456789012345, 25), t = bucket(max15, 0);
    EXPECT_EQ(op_roll_bucket(s, t), 1);
    EXPECT_EQ(int(t.scale), 0);
    EXPECT_TRUE(value_of(t) == max15);
  }
  {  // an overflowed source makes its target overflow
    OpBucket s = bucket(0, 0), t = bucket(7, 0);
    s.ovf = 1;
    EXPECT_EQ(op_roll_bucket(s, t), 0);
    EXPECT_EQ(int(t.ovf), 1);
    EXPECT_EQ(int(s.ovf), 0);
  }
}

// Three range levels of a child rolling into its parent's innermost level:
// the totals at each level are the exact sums; an overflow at the inner
// level reaches the outer ones, warns once, and shows as the mask's '*'.
TEST(OpStd, LevelsRollOutwardAndIntoTheParent) {
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* ents = static_cast<OpSum*>(MM_ALLOC(pool, 2 * sizeof(OpSum)));
  std::memset(static_cast<void*>(ents), 0, 2 * sizeof(OpSum));
  auto* pb = static_cast<OpBucket*>(MM_ALLOC(pool, 2 * sizeof(OpBucket)));
  auto* cb = static_cast<OpBucket*>(MM_ALLOC(pool, 3 * sizeof(OpBucket)));
  for (int i = 0; i < 2; ++i) op_bucket_zero(pb[i]);
  for (int i = 0; i < 3; ++i) op_bucket_zero(cb[i]);
  OpSum& parent = ents[0];
  OpSum& child = ents[1];
  parent.buckets.set(reinterpret_cast<uint8_t*>(pb));
  parent.inner = 1;
  child.buckets.set(reinterpret_cast<uint8_t*>(cb));
  child.inner = 2;
  child.roll.set(&parent);
  std::mt19937_64 rng(seed());
  i128 total = 0;
  for (int rec = 0; rec < 300; ++rec) {
    int64_t v = int64_t(rng() % 100000000) - 50000000;  // cents
    OpBucket add = bucket(v, 2);
    ASSERT_EQ(op_roll_bucket(add, cb[2]), 1);
    total += v;
    if (rec % 7 == 6) op_sum_roll_ents(nullptr, &child, 1, 2);   // inner break
    if (rec % 21 == 20) op_sum_roll_ents(nullptr, &child, 1, 1);  // outer break
  }
  op_sum_roll_ents(nullptr, &child, 1, 2);
  op_sum_roll_ents(nullptr, &child, 1, 1);
  op_sum_roll_ents(nullptr, &child, 1, 0);  // end of file: into the parent
  EXPECT_TRUE(value_of(pb[1]) == total);
  EXPECT_EQ(int(pb[1].scale), 2);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(value_of(cb[i]) == 0);
  char out[16];
  char want[16];
  EXPECT_EQ(op_bucket_text(bucket(-123456, 2), "-ZZZ,ZZ9.99", 11, out, 11), 1);
  ASSERT_EQ(num_itoe("-ZZZ,ZZ9.99", 11, CvNum{-123456, 2}, want, 11), 1);
  EXPECT_EQ(std::string(out, 11), std::string(want, 11));

  // 16 integer digits at the inner level: overflow, one warning for the
  // field into the process's message file, however often it rolls on
  auto* pcb = static_cast<Pcb*>(MM_ALLOC(pool, sizeof(Pcb)));
  std::memset(static_cast<void*>(pcb), 0, sizeof(Pcb));
  FmArb* msgs = la_create_fi(80, 0);
  ASSERT_NE(msgs, nullptr);
  pcb->msg_file.set(msgs);
  auto* item = static_cast<EmCitm*>(MM_ALLOC(pool, sizeof(EmCitm)));
  std::memset(static_cast<void*>(item), 0, sizeof(EmCitm));
  item->field.set("AMOUNT");
  child.item.set(reinterpret_cast<uint8_t*>(item));
  cb[2] = bucket(999999999999999, 0);
  cb[1] = bucket(1, 0);
  op_sum_roll_ents(pcb, &child, 1, 2);
  EXPECT_EQ(int(cb[1].ovf), 1);
  EXPECT_EQ(int(child.warned), 1);
  cb[2] = bucket(5, 0);
  op_sum_roll_ents(pcb, &child, 1, 2);
  op_sum_roll_ents(pcb, &child, 1, 1);
  op_sum_roll_ents(pcb, &child, 1, 0);
  std::vector<std::string> warnings;
  msgs->key_no = 0;
  msgs->op = FM_OP_FIRST;
  ASSERT_EQ(fm_start(msgs), 1);
  msgs->op = FM_OP_FAST;
  while (uint8_t* m = fm_rdnxt_fast(msgs, 0))
    warnings.emplace_back(reinterpret_cast<char*>(m) + sizeof(LaQueueRec), rec::view<LaQueueRec>(m).length);
  msgs->op = 0;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find(la_text(200120) + ": AMOUNT"), std::string::npos) << warnings[0];
  EXPECT_EQ(int(pb[1].ovf), 1);
  EXPECT_EQ(op_bucket_text(pb[1], "-ZZZ,ZZ9.99", 11, out, 11), 0);
  EXPECT_EQ(std::string(out, 11), "***********");
  mm_destroy_pool(pool);
}

std::string line(const char* l, int width) { return std::string(l, size_t(width)); }
// A line of width blanks with texts at their columns (from 1).
std::string at(int width, std::initializer_list<std::pair<int, const char*>> texts) {
  std::string s(size_t(width), ' ');
  for (auto [col, t] : texts) s.replace(size_t(col - 1), std::strlen(t), t);
  return s;
}

OpStdHitm hitm(int col, int width, int ordinal, int align, const char* h1, const char* h2) {
  OpStdHitm h;
  std::memset(&h, 0, sizeof h);
  h.col = uint16_t(col);
  h.width = uint16_t(width);
  h.ordinal = uint16_t(ordinal);
  h.align = uint8_t(align);
  h.head1.set(h1);
  h.head2.set(h2);
  return h;
}

TEST(OpStd, PageHeadingEndsAtTheRightEdgeAtEveryPageNumber) {
  OpStd std;
  op_std_init(std, 7, 80, "  Customer list ", '-', "Page");
  std.date.set("12/07/26 23:05");
  op_std_pgh(std, {"Main database", "Region north", "ABC"}, {});
  // centred at (80 - length) / 2: "Main database" (13) at column 34
  EXPECT_EQ(line(op_std_pgh_line(std, 0), 80), std::string(33, ' ') + "Main database" + std::string(34, ' '));
  std::string l2 = line(op_std_pgh_line(std, 1), 80);
  EXPECT_EQ(l2.substr(0, 14), "12/07/26 23:05");
  EXPECT_EQ(l2.substr(34, 12), "Region north");
  EXPECT_EQ(l2.substr(66), "ABC Page 00007");  // the block ends in column 80, the number in 76-80
  EXPECT_EQ(line(op_std_pgh_line(std, 2), 80), std::string(33, ' ') + "Customer list" + std::string(34, ' '));
  EXPECT_EQ(std.rebuild, '0');
  EXPECT_EQ(int(std.colh_lines), 0);
  // later pages: only the number; 99,999 then 100,000 and 1,000,000
  std.page = 99999;
  op_std_pgh(std, {}, {});
  EXPECT_EQ(line(op_std_pgh_line(std, 1), 80).substr(66), "ABC Page 99999");
  std.page = 100000;
  op_std_pgh(std, {}, {});
  EXPECT_EQ(line(op_std_pgh_line(std, 1), 80).substr(65), "ABC Page 100000");
  std.page = 1000000;
  op_std_pgh(std, {}, {});
  EXPECT_EQ(line(op_std_pgh_line(std, 1), 80).substr(64), "ABC Page 1000000");
  EXPECT_EQ(line(op_std_pgh_line(std, 1), 80).substr(0, 14), "12/07/26 23:05");
  // a rebuild at such a number lays the block out wider
  std.rebuild = '1';
  op_std_pgh(std, {"", "", "ABC"}, {});
  EXPECT_EQ(line(op_std_pgh_line(std, 1), 80).substr(64), "ABC Page 1000000");
  // at the widest report: column 255 is the last
  op_std_init(std, 3, 255, "T", '-', "Page");
  op_std_pgh(std, {"", "", "X"}, {});
  EXPECT_EQ(line(op_std_pgh_line(std, 1), 255).substr(255 - 14), "X   Page 00003");
  // a narrow report: a longer title is cut after its start; a wider number
  // moves the block left over the date's last column, the rest staying
  op_std_init(std, 99999, 30, "A title longer than thirty columns", '-', "Page");
  std.date.set("ABCDEFGHIJKLMNOP");
  op_std_pgh(std, {"", "", "ABC"}, {});
  EXPECT_EQ(line(op_std_pgh_line(std, 2), 30), "A title longer than thirty col");
  EXPECT_EQ(line(op_std_pgh_line(std, 1), 30), "ABCDEFGHIJKLMNOPABC Page 99999");
  std.page = 100000;
  op_std_pgh(std, {}, {});
  EXPECT_EQ(line(op_std_pgh_line(std, 1), 30), "ABCDEFGHIJKLMNOABC Page 100000");
}

TEST(OpStd, ColumnHeadingsByOwnerAlignmentAndUnderline) {
  OpStd std;
  op_std_init(std, 1, 40, "T", '=', "Page");
  op_std_own(std, 1, 10, 1);
  op_std_own(std, 20, 8, 1);
  op_std_own(std, 5, 10, 2);     // columns 1-10 stay image 1's, 11-14 are image 2's
  op_std_own(std, 35, 10, 2);    // cut at the width: 35-40
  EXPECT_EQ(int(std.owner[10]), 2);
  EXPECT_EQ(int(std.owner[39]), 2);
  std::vector<OpStdHitm> items{
      hitm(1, 10, 1, kOpAlignLeft, "Customer", "Name"),
      hitm(1, 10, 2, kOpAlignLeft, "Other", "Image"),       // column 1 is image 1's: not used
      hitm(20, 8, 1, kOpAlignRight, "", "Amount"),
      hitm(35, 6, 2, kOpAlignCentre, "Qty", ""),
  };
  std.mode = kOpHeadUline;
  ASSERT_EQ(op_std_colh(std, items), 1);
  EXPECT_EQ(line(op_std_colh_line(std, 0), 40), at(40, {{1, "Customer"}, {36, "Qty"}}));
  EXPECT_EQ(line(op_std_colh_line(std, 1), 40), at(40, {{1, "Name"}, {22, "Amount"}}));
  EXPECT_EQ(line(op_std_colh_line(std, 2), 40), at(40, {{1, "________"}, {22, "______"}, {36, "___"}}));
  EXPECT_EQ(int(std.colh_lines), 3);
  // only second lines: line 2 moves up, the underline after it
  std.mode = kOpHeadPage;
  std::vector<OpStdHitm> two{hitm(20, 8, 1, kOpAlignRight, "", "Amount")};
  ASSERT_EQ(op_std_colh(std, two), 1);
  EXPECT_EQ(line(op_std_colh_line(std, 0), 40), at(40, {{22, "Amount"}}));
  EXPECT_EQ(int(std.colh_lines), 1);
  std.mode = kOpHeadUline;
  ASSERT_EQ(op_std_colh(std, two), 1);
  EXPECT_EQ(line(op_std_colh_line(std, 1), 40), at(40, {{22, "______"}}));
  EXPECT_EQ(int(std.colh_lines), 2);
  // nothing placed: no heading lines
  ASSERT_EQ(op_std_colh(std, {hitm(50, 5, 1, kOpAlignLeft, "Past", "Edge")}), 1);
  EXPECT_EQ(int(std.colh_lines), 0);
  // Headings side by side (found right to left), one in the last column; a
  // heading reaching a column that another image owns is not used.
  op_std_init(std, 1, 12, "T", '-', "Page");
  op_std_own(std, 1, 11, 1);
  op_std_own(std, 12, 1, 2);
  std.mode = kOpHeadPage;
  ASSERT_EQ(op_std_colh(std, {hitm(5, 3, 1, kOpAlignLeft, "Qty", ""), hitm(1, 4, 1, kOpAlignLeft, "Item", ""),
                              hitm(9, 4, 1, kOpAlignLeft, "Cost", ""), hitm(12, 1, 2, kOpAlignLeft, "#", "")}),
            1);
  EXPECT_EQ(line(op_std_colh_line(std, 0), 12), "ItemQty    #");
  EXPECT_EQ(int(std.colh_lines), 2);  // the second line stays, blank
}

// The runtime application's STD, STDHITM, STDHSUB, STDTSUM and STDMLOG, as
// the generator makes them of data/apps/0LA, are the engine's records field
// by field (its processes print what the executor lays out).
TEST(OpStd, TheRuntimeApplicationsFilesAreTheEnginesRecords) {
  char tmpl[] = "/tmp/quvo-opstd-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  bool ok = qg::generate(std::string(QUVO_DATA_APPS), std::string(tmpl) + "/boot", &errs, &made);
  std::filesystem::remove_all(tmpl);
  ASSERT_TRUE(ok) << errs.str();
  using Want = std::map<std::string, std::pair<int, int>>;  // element -> offset, length x occurs
  std::map<std::string, Want> got;
  for (const qg::GenFile& g : made) {
    if (g.name != "ELEMENT") continue;
    for (const auto& r : g.records) {
      const DElem& e = rec::view<DElem>(r.data());
      if (e.work == '1') continue;
      got[e.file.str()][e.name.str()] = {int(e.offset), int(e.length) * int(e.occurs ? e.occurs : 1)};
    }
  }
#define AT(T, f) std::pair<int, int>(int(offsetof(T, f)), int(sizeof(T::f)))
  const Want std_rec{{"STD PAGE NUMBER", AT(OpStd, page)},          {"STD WIDTH", AT(OpStd, width)},
                     {"STD IMAGE COUNTER", AT(OpStd, counter)},     {"STD COLUMN OWNER", AT(OpStd, owner)},
                     {"STD COLH LINES", AT(OpStd, colh_lines)},     {"STD TITLE", AT(OpStd, title)},
                     {"STD UNDERLINE CHAR", AT(OpStd, underline)},  {"STD HEADING MODE", AT(OpStd, mode)},
                     {"STD REBUILD", AT(OpStd, rebuild)},           {"STD FIRST SUBHEADING", AT(OpStd, first_sub)},
                     {"STD LAST SUBHEADING", AT(OpStd, last_sub)},  {"STD PAGE HEADING", AT(OpStd, pgh)},
                     {"STD COLUMN HEADING", AT(OpStd, colh)},       {"STD DATE", AT(OpStd, date)},
                     {"STD PAGE LABEL", AT(OpStd, page_label)},     {"STD ONE", AT(OpStd, one)},
                     {"STD SPARE", AT(OpStd, unused)}};
  const Want hitm{{"STDHITM COLUMN", AT(OpStdHitm, col)},       {"STDHITM WIDTH", AT(OpStdHitm, width)},
                  {"STDHITM IMAGE", AT(OpStdHitm, ordinal)},    {"STDHITM ALIGNMENT", AT(OpStdHitm, align)},
                  {"STDHITM HEADING 1", AT(OpStdHitm, head1)},  {"STDHITM HEADING 2", AT(OpStdHitm, head2)},
                  {"STDHITM SPARE", AT(OpStdHitm, b67)}};
  const Want hsub{{"STDHSUB LINE", AT(OpStdHsub, line)}};
  const Want tsum{{"STDTSUM COLUMN", AT(OpStdTsum, col)}, {"STDTSUM WIDTH", AT(OpStdTsum, width)},
                  {"STDTSUM TEXT", AT(OpStdTsum, text)}};
  const Want mlog{{"STDMLOG KIND", AT(PiModLog, type)},  {"STDMLOG APP", AT(PiModLog, app)},
                  {"STDMLOG NAME", AT(PiModLog, name)},  {"STDMLOG OCCURRENCE", AT(PiModLog, occ)},
                  {"STDMLOG OLD", AT(PiModLog, key)},    {"STDMLOG VALUE", AT(PiModLog, value)}};
#undef AT
  EXPECT_EQ(got["STD"], std_rec);
  EXPECT_EQ(got["STDHITM"], hitm);
  EXPECT_EQ(got["STDHSUB"], hsub);
  EXPECT_EQ(got["STDTSUM"], tsum);
  EXPECT_EQ(got["STDMLOG"], mlog);
}

}  // namespace
