// The report manager: images side by side and merged below, groups kept on
// one page, the endless page, compression, floating items, messages below an
// image, blank lines before an image and matrix windows.
#include <gtest/gtest.h>

#include "executors/rm_fixture.h"
#include "foundation/la.h"
#include "support/syserr.h"

namespace {

using rmt::ImgSpec;

class Rm : public rmt::Report {};

TEST_F(Rm, ImagesStandSideBySideAndMergeBelowTheirColumns) {
  open(80, 60);
  int a = img({{"A1", "A2"}, 40, 1});
  int b = img({{"B1", "B2", "B3"}, 40, 41});
  int c = img({{"C1", "C2"}, 40, 1});
  ASSERT_EQ(write(a), 1);
  ASSERT_EQ(write(b), 1);
  ASSERT_EQ(write(c), 1);
  EXPECT_EQ(line(0, 1), "A1" + std::string(38, ' ') + "B1");
  EXPECT_EQ(line(0, 3), "C1" + std::string(38, ' ') + "B3");
  EXPECT_EQ(line(0, 4), "C2");
  // A newer buffer lands below the deepest line over the columns it uses:
  // columns 35-44 reach line 4 (C) on the left and 3 (B) on the right.
  ASSERT_EQ(rm_start(r), 1);
  int d = img({{"DDDDDDDDDD"}, 10, 35});
  ASSERT_EQ(write(d, 1), 1);
  EXPECT_EQ(line(1, 1), std::string(34, ' ') + "DDDDDDDDDD");
  EXPECT_EQ(rm_empty(r, 2, 0, 1), 0);
  EXPECT_EQ(r->status.get(), kRmBadBuf);
  ASSERT_EQ(rm_empty(r, 0, 0, 1), 1);
  EXPECT_EQ(line(0, 5), std::string(34, ' ') + "DDDDDDDDDD");
  EXPECT_EQ(rm_newest(r)->id.get(), 0);
  EXPECT_EQ(rm_buf(r, 0)->last.get(), 5u);
  // The merged buffer is kept as a spare and comes back as buffer 1.
  RmBuf* spare = rm_buf(r, 0)->spare.get();
  ASSERT_EQ(rm_start(r), 1);
  EXPECT_EQ(rm_buf(r, 1), spare);
}

TEST_F(Rm, GroupsStayOnOnePageAndTheEndlessPageNeverFills) {
  open(20, 10);
  new_page(5);  // the first page: no form feed
  int one = img({{"L1"}});
  ASSERT_EQ(write(one), 1);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  int five = img({{"G1", "G2", "G3", "G4", "G5"}});
  ASSERT_EQ(write(five), 1);
  EXPECT_EQ(rm_print(r, 1, 0), 0);
  EXPECT_EQ(r->status.get(), kRmFooting);
  EXPECT_EQ(r->pc->line.get(), 1u);  // nothing of the group printed
  // A new page with room for it.
  new_page(5);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  EXPECT_EQ(r->lines_left.get(), 0);
  // While the page has ended, a page buffer with lines must wait for a new
  // page.
  r->page_ended = 1;
  ASSERT_EQ(write(five), 1);
  EXPECT_EQ(rm_print(r, 1, 0), 0);
  EXPECT_EQ(r->status.get(), kRmNewPage);
  new_page(0);
  // An endless page: lines left counts the lines printed.
  r->page_len = 0;
  r->lines_left = 0;
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(write(five), 1);
    ASSERT_EQ(rm_print(r, 1, 0), 1) << i;
  }
  EXPECT_EQ(r->lines_left.get(), 155);  // the group that waited, then 30
  std::string file = name;
  rmt::Pages p = finish();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0], (std::vector<std::string>{"L1"}));
  EXPECT_EQ(p[1], (std::vector<std::string>{"G1", "G2", "G3", "G4", "G5"}));
  ASSERT_EQ(p[2].size(), 155u);
  EXPECT_EQ(p[2][154], "G5");
  EXPECT_NE(first_byte(file), '\f');
}

TEST_F(Rm, ImageLimitsCompressionFloatingAndBlankLinesBefore) {
  open(80, 60);
  {
    SysErrCapture cap(SysErrAnswer::Continue);
    ImgSpec tall;
    tall.rows.assign(22, "X");
    EXPECT_EQ(img(tall), 0);
    EXPECT_EQ(cap.last(), "cmpl_img - image rows exceeds maximum size");
    EXPECT_EQ(img({{"X"}, 256}), 0);
    EXPECT_EQ(cap.last(), "cmpl_img - image columns exceeds maximum size");
    tall.rows.pop_back();
    EXPECT_NE(img(tall), 0);
    EXPECT_NE(img({{"X"}, 255}), 0);
  }
  // Compress mode 1: blank rows go, a row flagged by a characteristic stays.
  RmChr flag{};
  flag.row = 3;
  flag.col = 1;
  flag.rows = 1;
  flag.cols = 1;
  rm_chr_flag(flag) = 0x80;
  ImgSpec c{{"TOP", "", "", "", "END"}};
  c.compress = 1;
  int cmp = img(c, {}, {flag});
  // Float gap 1: the item at column 11 moves to one blank after "AB".
  RmItem it{};
  it.row = 1;
  it.col = 11;
  it.text_len = 3;
  rm_item_float(it) = 1;
  int fl = img({{"AB        XYZ"}}, {it});
  ImgSpec two{{"B1"}};
  two.before = 2;
  int bl = img(two);
  ASSERT_EQ(write(cmp), 1);
  ASSERT_EQ(write(fl), 1);
  ASSERT_EQ(write(bl), 1);
  EXPECT_EQ(line(0, 1), "TOP");
  EXPECT_EQ(line(0, 2), "");
  EXPECT_EQ(line(0, 3), "END");
  EXPECT_EQ(line(0, 4), "");  // compress mode 1 keeps the row count
  EXPECT_EQ(line(0, 6), "AB XYZ");
  RmBuf* b = rm_buf(r, 0);
  EXPECT_EQ(rm_line(r, b, 7, false)->group.get(), 1);  // the first blank line
  EXPECT_EQ(rm_line(r, b, 8, false)->group.get(), 0);
  EXPECT_EQ(line(0, 9), "B1");
  // The two blank lines and the image stay on one page: 3 lines with 2 left.
  new_page(100);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  ASSERT_EQ(write(bl), 1);
  r->lines_left = 2;
  EXPECT_EQ(rm_print(r, 1, 0), 0);
  EXPECT_EQ(r->status.get(), kRmFooting);
  r->lines_left = 3;
  EXPECT_EQ(rm_print(r, 1, 0), 1);
  rmt::Pages p = finish();
  ASSERT_EQ(p.size(), 1u);
  ASSERT_EQ(p[0].size(), 12u);
  EXPECT_EQ(p[0][2], "END");
  EXPECT_EQ(p[0][5], "AB XYZ");
  EXPECT_EQ(p[0][11], "B1");
}

TEST_F(Rm, MessagesLongerThanTheImageContinueBelowIt) {
  open(80, 60);
  FmArb* msgs = la_create_fi(80, 0);
  ASSERT_NE(msgs, nullptr);
  ASSERT_EQ(la_add_msg(3, msgs, 300999u, 0u), 1);
  std::string text = la_text(300999);
  if (text.empty()) text = "Unable to translate message";
  int n = img({{"ROW"}, 10, 5});
  ASSERT_EQ(write(n, 0, nullptr, msgs), 1);
  EXPECT_EQ(line(0, 1), "    ROW");
  std::string l2 = line(0, 2), l3 = line(0, 3);
  EXPECT_EQ(l2.substr(0, 4), "    ");  // ten columns from column 5
  EXPECT_LE(l2.size(), 14u);
  EXPECT_NE(l3, "-");
  EXPECT_EQ(msg_line_cnt(msgs, 10), 0);  // the messages were taken
}

TEST_F(Rm, AMatrixWindowFlushesAsRowsOfRegions) {
  open(40, 60);
  ASSERT_EQ(rm_start(r), 1);
  RmWnd* w = rm_attach(r, 1, RmWndDesc{1, 3, 20, 1, 10});
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->across.get(), 2u);
  EXPECT_EQ(w->down.get(), 3u);
  for (int i = 1; i <= 6; ++i) {
    int n = img({{"I" + std::to_string(i)}, 10});
    ASSERT_EQ(write(n, 1, w), 1);
  }
  EXPECT_EQ(line(1, 1), "I1        I4");
  EXPECT_EQ(line(1, 2), "I2        I5");
  EXPECT_EQ(line(1, 3), "I3        I6");
  EXPECT_EQ(w->regions->count.get(), 0u);
  // Two windows: detaching the first keeps the second; an unknown id fails.
  RmWnd* w2 = rm_attach(r, 1, RmWndDesc{2, 2, 20, 1, 10});
  ASSERT_NE(w2, nullptr);
  uint16_t id2 = w2->id;
  EXPECT_EQ(rm_detach(r, 1, w->id), 1);
  EXPECT_EQ(rm_detach(r, 1, id2), 1);
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(rm_detach(r, 1, id2), 0);
  EXPECT_EQ(cap.last(), "attach - Window read failed");
}

// An image whose last column is the first of one above it goes below it, and
// so does one whose first column is the last of one above it. A newer buffer
// merged beside the page's images keeps them, its bold cell at the right
// edge prints on its own line, and a later image lands below what the merge
// left in its columns. The next page buffer prints without the attributes
// printed before.
TEST_F(Rm, EdgeColumnsMergingBesideAndAttributesAfterPrinting) {
  open(40, 60);
  ASSERT_EQ(write(img({{"AAAAAAAAAA"}, 10, 10})), 1);  // columns 10-19
  ASSERT_EQ(write(img({{"B1", "B2"}, 10, 1})), 1);     // 1-10
  ASSERT_EQ(write(img({{"C1"}, 10, 19})), 1);          // 19-28
  EXPECT_EQ(line(0, 1), std::string(9, ' ') + "AAAAAAAAAA");
  EXPECT_EQ(line(0, 2), "B1" + std::string(16, ' ') + "C1");
  EXPECT_EQ(line(0, 3), "B2");
  RmChr bold{};
  bold.row = 1;
  bold.col = 10;
  bold.rows = 1;
  bold.cols = 1;
  bold.attr = kPmBold;
  ASSERT_EQ(rm_start(r), 1);
  ASSERT_EQ(write(img({{"DDDDDDDDDZ"}, 10, 31}, {}, {bold}), 1), 1);  // 31-40
  ASSERT_EQ(rm_empty(r, 0, 0, 1), 1);
  EXPECT_EQ(line(0, 1), std::string(9, ' ') + "AAAAAAAAAA" + std::string(11, ' ') + "DDDDDDDDDZ");
  EXPECT_EQ(line(0, 2), "B1" + std::string(16, ' ') + "C1");
  ASSERT_EQ(write(img({{"E"}, 10, 1})), 1);
  EXPECT_EQ(line(0, 4), "E");
  new_page(60);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  ASSERT_EQ(write(img({{std::string(40, 'P')}})), 1);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  std::string file = name;
  rmt::Pages p = finish();
  ASSERT_EQ(p.size(), 1u);
  ASSERT_EQ(p[0].size(), 5u);
  EXPECT_EQ(p[0][3], "E");
  EXPECT_EQ(p[0][4], std::string(40, 'P'));
  std::string raw = slurp(dir.sub(file));
  EXPECT_NE(raw.find("DZ\bZ\bZ"), std::string::npos);
  EXPECT_EQ(raw.find("P\bP"), std::string::npos);
}

// Characteristics reach the last row and column of an image, one of two
// rows marks both and a cleared bit goes; items in the last column and row
// take their values, an item cut at the image's right edge takes what fits,
// and an underline past the page's right edge stops at it.
TEST_F(Rm, CharacteristicsAndItemsReachTheImageEdges) {
  open(40, 60);
  auto chr = [](int row, int col, int rows, int cols, uint32_t attr) {
    RmChr c{};
    c.row = row;
    c.col = col;
    c.rows = rows;
    c.cols = cols;
    c.attr = attr;
    return c;
  };
  auto item = [](int row, int col, int rows, int len) { return rmt::alpha_item(row, col, len, rows); };
  std::vector<RmItem> items{item(1, 5, 0, 1), item(2, 4, 0, 3), item(3, 1, 2, 1)};
  int n = img({{"A   x", "B", "C   Z"}}, items, {chr(1, 1, 2, 1, kPmBold), chr(3, 5, 1, 1, kPmUnderline)});
  int wide = img({{"UUUUUUUUUU"}, 10, 35}, {}, {chr(1, 1, 1, 10, kPmUnderline)});
  ASSERT_EQ(rm_exec_img(r, n), 1);
  auto update = [&](RmItem it, const char* value, uint32_t attr) {
    it.handle = uint32_t(n);
    auto* v = static_cast<uint8_t*>(MM_ALLOC(r->pool, it.text_len));
    std::memcpy(v, value, it.text_len);
    it.value = Ref<uint8_t>::of(v);
    return rm_upd_itm(r, it, attr, attr);
  };
  EXPECT_EQ(update(items[0], "V", 0), 1);
  EXPECT_EQ(update(items[1], "MNO", kPmUnderline), 1);
  EXPECT_EQ(update(items[2], "K", kPmBold), 1);
  ASSERT_EQ(rm_upd_chr(r, RmChrUpd{uint32_t(n), 1, 1, 1, 1}, 0, kPmBold), 1);
  ASSERT_EQ(rm_write_img(r, n, nullptr, 0, nullptr), 1);
  ASSERT_EQ(write(wide), 1);
  new_page(60);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  std::string file = name;
  rmt::Pages p = finish();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0], (std::vector<std::string>{"A   V" + std::string(29, ' ') + "UUUUUU", "B  MN", "K   Z"}));
  std::string raw = slurp(dir.sub(file));
  EXPECT_EQ(raw.find("A\bA"), std::string::npos);
  EXPECT_NE(raw.find("B\bB\bB  M\b_N\b_\n"), std::string::npos);
  EXPECT_NE(raw.find("K\bK\bK   Z\b_"), std::string::npos);
  EXPECT_NE(raw.find("U\b_U\b_U\b_U\b_U\b_U\b_\n"), std::string::npos);
}

// An item of several rows takes its columns on each row, as on a screen:
// its text row by row, the fixed text beside it kept; cut at the image's
// right edge, each row shows what fits and the rest is not shown.
TEST_F(Rm, AnItemOfSeveralRowsTakesItsColumnsOnEachRow) {
  open(40, 60);
  std::vector<RmItem> items{rmt::alpha_item(1, 1, 6, 2, 3), rmt::alpha_item(1, 9, 6, 2, 3)};
  int n = img({{"ROW1 fixed", "ROW2"}}, items, {});
  ASSERT_EQ(rm_exec_img(r, n), 1);
  for (int i = 0; i < 2; ++i) {
    RmItem it = items[size_t(i)];
    it.handle = uint32_t(n);
    auto* v = static_cast<uint8_t*>(MM_ALLOC(r->pool, 6));
    std::memcpy(v, i == 0 ? "ABCDEF" : "abcdef", 6);
    it.value = Ref<uint8_t>::of(v);
    ASSERT_EQ(rm_upd_itm(r, it, 0, 0), 1);
  }
  ASSERT_EQ(rm_write_img(r, n, nullptr, 0, nullptr), 1);
  new_page(60);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  rmt::Pages p = finish();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0], (std::vector<std::string>{"ABC1 fixab", "DEF2    de"}));
}

// Lines kept below an image hide no line another image holds, and an image
// of a newer buffer merged onto them prints. Groups: one that fits the lines
// left prints though another follows it; an image merged beside two others
// keeps both of their lines on one page.
TEST_F(Rm, KeptLinesAndGroupsOfMergedImages) {
  open(40, 10);
  new_page(10);
  ImgSpec y{{"Y"}, 10, 1};
  y.keep = 2;
  ASSERT_EQ(write(img({{"X1", "X2", "X3"}, 10, 21})), 1);
  ASSERT_EQ(write(img(y)), 1);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  y.keep = 1;
  ASSERT_EQ(write(img(y)), 1);
  ASSERT_EQ(rm_start(r), 1);
  ASSERT_EQ(write(img({{"Z"}, 10, 1}), 1), 1);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  // 5 lines printed, 5 left: a group of 5 prints, the next waits.
  ASSERT_EQ(write(img({{"G1", "G2", "G3", "G4", "G5"}})), 1);
  ASSERT_EQ(write(img({{"H"}})), 1);
  EXPECT_EQ(rm_print(r, 1, 0), 0);
  EXPECT_EQ(r->status.get(), kRmFooting);
  EXPECT_EQ(r->pc->line.get(), 10u);
  new_page(10);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  // A and C over one another, B beside both: 2 lines with 1 left.
  ASSERT_EQ(write(img({{"A"}, 10, 1})), 1);
  ASSERT_EQ(write(img({{"C"}, 10, 1})), 1);
  ASSERT_EQ(rm_start(r), 1);
  ASSERT_EQ(write(img({{"B1", "B2"}, 10, 11}), 1), 1);
  r->lines_left = 1;
  EXPECT_EQ(rm_print(r, 1, 0), 0);
  EXPECT_EQ(r->status.get(), kRmFooting);
  EXPECT_EQ(r->pc->line.get(), 1u);
  new_page(10);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  // Two lines kept below an image: it waits for 3 lines; on a fresh page of
  // 2 it prints, and its kept lines end the page without running past it.
  ImgSpec k{{"K"}};
  k.keep = 2;
  ASSERT_EQ(write(img(k)), 1);
  r->lines_left = 2;
  EXPECT_EQ(rm_print(r, 1, 0), 0);
  EXPECT_EQ(r->status.get(), kRmFooting);
  new_page(2);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  EXPECT_EQ(r->lines_left.get(), 0);
  rmt::Pages p = finish();
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0], (std::vector<std::string>{"Y" + std::string(19, ' ') + "X1", std::string(20, ' ') + "X2",
                                            std::string(20, ' ') + "X3", "Y", "Z", "G1", "G2", "G3", "G4", "G5"}));
  EXPECT_EQ(p[1], (std::vector<std::string>{"H"}));
  EXPECT_EQ(p[2], (std::vector<std::string>{"A" + std::string(9, ' ') + "B1", "C" + std::string(9, ' ') + "B2"}));
  EXPECT_EQ(p[3], (std::vector<std::string>{"K"}));
}

// Compression 3 drops blank rows, trailing ones too; 2 only trailing ones.
// The next image follows the rows left.
TEST_F(Rm, CompressionDropsBlankRows) {
  open(40, 60);
  ImgSpec both{{"M1", "", "M2", "", ""}};
  both.compress = 3;
  ImgSpec tail{{"T1", "", "T2", "", ""}};
  tail.compress = 2;
  ASSERT_EQ(write(img(both)), 1);
  ASSERT_EQ(write(img(tail)), 1);
  ASSERT_EQ(write(img({{"END"}})), 1);
  std::vector<std::string> lines;
  for (uint32_t n = 1; n <= 6; ++n) lines.push_back(line(0, n));
  EXPECT_EQ(lines, (std::vector<std::string>{"M1", "M2", "T1", "", "T2", "END"}));
}

// An image keeps at most 255 items: the 256th given is not found.
TEST_F(Rm, AnImageKeepsAtMost255Items) {
  open(255, 60);
  std::vector<RmItem> items;
  for (int i = 0; i < 256; ++i) {
    RmItem it{};
    it.row = i < 255 ? 1 : 2;
    it.col = i < 255 ? i + 1 : 255;
    it.text_len = 1;
    rm_item_float(it) = 255;
    items.push_back(it);
  }
  int n = img({{"", ""}, 255}, items);
  ASSERT_EQ(rm_exec_img(r, n), 1);
  RmItem last = items[254];
  last.handle = uint32_t(n);
  EXPECT_EQ(rm_upd_itm(r, last, 0, 0), 1);
  RmItem over = items[255];
  over.handle = uint32_t(n);
  EXPECT_EQ(rm_upd_itm(r, over, 0, 0), 0);
  EXPECT_EQ(r->status.get(), kRmNotFound);
}

}  // namespace

namespace {

// An item's value converted into the executed image, bold over its cells;
// the soft failures and the refused rectangle.
TEST_F(Rm, ItemValuesAndCharacteristicsOfAnExecutedImage) {
  open(40, 60);
  RmItem it = rmt::alpha_item(1, 6, 6);
  int n = img({{"NAME:      ."}}, {it});
  RmItem upd = it;
  upd.handle = uint32_t(n);
  auto* v = static_cast<uint8_t*>(MM_ALLOC(r->pool, 6));
  std::memcpy(v, "SMITH ", 6);
  upd.value = Ref<uint8_t>::of(v);
  EXPECT_EQ(rm_upd_itm(r, upd, 0, 0), 0);
  EXPECT_EQ(r->status.get(), kRmNotExec);
  ASSERT_EQ(rm_exec_img(r, n), 1);
  RmItem other = upd;
  other.col = 5;
  EXPECT_EQ(rm_upd_itm(r, other, 0, 0), 0);
  EXPECT_EQ(r->status.get(), kRmNotFound);
  ASSERT_EQ(rm_upd_itm(r, upd, kPmBold, kPmBold), 1);
  {
    SysErrCapture cap(SysErrAnswer::Continue);
    EXPECT_EQ(rm_upd_chr(r, RmChrUpd{uint32_t(n), 1, 10, 1, 4}, kPmUnderline, kPmUnderline), 0);
    EXPECT_EQ(cap.last(), "upd_chr - characteristic doesn't fit on image");
  }
  ASSERT_EQ(rm_upd_chr(r, RmChrUpd{uint32_t(n), 1, 12, 1, 1}, kPmUnderline, kPmUnderline), 1);
  ASSERT_EQ(rm_write_img(r, n, nullptr, 0, nullptr), 1);
  EXPECT_EQ(line(0, 1), "NAME:SMITH .");
  new_page(10);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  rmt::Pages p = finish();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0][0], "NAME:SMITH .");
  std::string raw = slurp(dir.sub(name));
  EXPECT_NE(raw.find("S\bS\bS"), std::string::npos);  // bold: struck three times
  EXPECT_NE(raw.find(".\b_"), std::string::npos);     // underlined
}

// The print file cannot be made: the report says 300580; the registry
// keeps the report until its clean-up.
TEST_F(Rm, AnUnwritableDirectoryGives300580) {
  setenv("QUVO_PRT_FI_DIR", (dir.str() + "/missing").c_str(), 1);
  char path[255];
  RmRpt* bad = rm_create("NO FILE", "RMT", 80, path, 0);
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->status.get(), kRmNoFile);
  EXPECT_EQ(rm_find(bad->number), bad);
  uint16_t number = bad->number;
  EXPECT_EQ(rm_cleanup(bad), 1);
  EXPECT_EQ(rm_find(number), nullptr);
}

}  // namespace

namespace {

// A window of regions across, then down (kind 2): two regions of ten
// columns on two rows; a fifth image finds it full and writes nothing.
TEST_F(Rm, RegionsFillAcrossThenDownUntilTheWindowIsFull) {
  open(40, 60);
  ASSERT_EQ(rm_start(r), 1);
  RmWnd* w = rm_attach(r, 1, RmWndDesc{2, 2, 20, 1, 10});
  ASSERT_NE(w, nullptr);
  for (int i = 1; i <= 4; ++i) ASSERT_EQ(write(img({{"W" + std::to_string(i)}, 10}), 1, w), 1);
  EXPECT_EQ(line(1, 1), "W1        W2");
  EXPECT_EQ(line(1, 2), "W3        W4");
  ASSERT_EQ(write(img({{"W5"}, 10}), 1, w), 1);
  EXPECT_EQ(w->cur.get(), 0u);
  EXPECT_EQ(line(1, 3), "-");
  // Written again before the merge, it still finds the window full.
  ASSERT_EQ(write(img({{"W5"}, 10}), 1, w), 1);
  EXPECT_EQ(line(1, 3), "-");
  // Merged down, the window opens anew below what it held.
  ASSERT_EQ(rm_empty(r, 0, 0, 0), 1);
  ASSERT_EQ(write(img({{"W5"}, 10}), 1, w), 1);
  EXPECT_EQ(line(0, 2), "W3        W4");
  EXPECT_EQ(line(1, 1), "W5");
}

// A region beside a taller image waits while the image holds its line: the
// window is then full.
TEST_F(Rm, ARegionBesideATallerImageWaits) {
  open(40, 60);
  ASSERT_EQ(rm_start(r), 1);
  RmWnd* w = rm_attach(r, 1, RmWndDesc{2, 2, 20, 1, 10});
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(write(img({{"W1"}, 10}), 1, w), 1);
  ASSERT_EQ(write(img({{"X1", "X2"}, 10}), 1, w), 1);
  ASSERT_EQ(write(img({{"W3"}, 10}), 1, w), 1);
  ASSERT_EQ(write(img({{"W4"}, 10}), 1, w), 1);
  EXPECT_EQ(line(1, 2), "W3        X2");
  EXPECT_EQ(w->cur.get(), 0u);
}

}  // namespace

namespace {

// A window of rows with messages (kind 3): images fill a column of regions
// down while they fit, then the next column; then the window is full.
TEST_F(Rm, RowsFillDownARegionColumnThenTheNext) {
  open(40, 60);
  ASSERT_EQ(rm_start(r), 1);
  RmWnd* w = rm_attach(r, 1, RmWndDesc{3, 3, 20, 1, 10});
  ASSERT_NE(w, nullptr);
  for (int i = 1; i <= 6; ++i) ASSERT_EQ(write(img({{"K" + std::to_string(i)}, 10}), 1, w), 1);
  EXPECT_EQ(line(1, 1), "K1        K4");
  EXPECT_EQ(line(1, 2), "K2        K5");
  EXPECT_EQ(line(1, 3), "K3        K6");
  ASSERT_EQ(write(img({{"K7"}, 10}), 1, w), 1);
  EXPECT_EQ(w->cur.get(), 0u);
  EXPECT_EQ(line(1, 4), "-");
}

}  // namespace
