// Window manager: placement, stacking, limbo, scopes, items and
// characteristics, editing, options, panning, messages and bad input, on a
// terminal in memory.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "files/unixio.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "foundation/ut.h"
#include "screen/memterm.h"
#include "screen/wm.h"
#include "support/syserr.h"

namespace {

struct Hangup : std::runtime_error {
  Hangup() : std::runtime_error("terminal gone") {}
};

class Wm : public ::testing::Test {
 protected:
  MemTerm term;
  Keymap km;
  MmPool pool = 0;
  uint32_t srf = 0;

  void SetUp() override {
    bi_init_com();
    std::string err;
    ASSERT_TRUE(km_compile_source(kTestKeymap, ".", "test.km", "xterm", &km, &err)) << err;
    wm_set_hangup([] { throw Hangup(); });
    ASSERT_EQ(wm_start(&term, &km), 1);
    pool = mm_create_pool(nullptr, 0, 0);
    ASSERT_EQ(wm_create_srf(&srf, 0), 1);
  }
  void TearDown() override {
    wm_end();
    mm_destroy_pool(pool);
    wm_set_hangup(nullptr);
  }

  char* text(const std::string& s) {
    char* p = static_cast<char*>(MM_ALLOC(pool, s.size() + 1));
    std::memcpy(p, s.data(), s.size());
    return p;
  }
  WmItem item(int row, int col, char* buf, int len) {
    WmItem it;
    ALPHA_PREP(&it);
    it.row = row;
    SET_ITM(&it, len, col, buf);
    return it;
  }
  // A window with a text region; returns the window, region in *reg.
  WmHandle window(int row, int col, int rows, int cols, WmHandle* reg, const std::string& fill = "", int kind = 0) {
    WmWnd w;
    INIT_WND(&w, kind, row, col, rows, cols, 0);
    WmHandle h = wm_attach(&w, srf, 0);
    if (!h) return 0;
    if (reg) *reg = w.region;
    if (!fill.empty()) wm_write_reg(w.region, std::string(size_t(rows) * size_t(cols), fill[0]));
    return h;
  }
  int show(WmShow* sb, uint8_t flags = wmshow::kDraw | wmshow::kWait, WmHandle q = 0) {
    sb->flags = flags;
    return wm_show(sb, q);
  }
  // The status line window on a surface, showing "STATUS LINE".
  void status_line(uint32_t surface) {
    WmWnd st;
    INIT_WND(&st, 3, 0, 1, 1, 80, 0);
    ASSERT_NE(wm_attach(&st, surface, 0), 0u);
    wm_write_reg(st.region, "STATUS LINE");
  }
  // An input field of len columns at row, col of a region, showing buf.
  void input_field(WmHandle reg, int row, int col, char* buf, int len) {
    WmItem it = item(row, col, buf, len);
    WmChr c;
    CHR_PREP(&c);
    c.row = row;
    SET_CHR(&c, col, len);
    c.attr = wa::kInput;
    ASSERT_EQ(wm_upd_reg(reg, {&it, 1}, {&c, 1}), 1);
  }
  // Whether a line of seen holds part.
  static bool seen_any(const std::vector<std::string>& seen, const std::string& part) {
    auto has = [&](const std::string& l) { return l.find(part) != std::string::npos; };
    return std::any_of(seen.begin(), seen.end(), has);
  }
  WmShow sb_at(WmHandle reg, int row, int col) {
    WmShow sb{};
    sb.region = reg;
    sb.curs_req = wmshow::kReqRowCol;
    sb.req_row = row;
    sb.req_col = col;
    return sb;
  }
};

TEST_F(Wm, PlacementCentreFarEdgeAndStatusLine) {
  // 24 x 80: 22 rows of application area, the status line on row 23.
  WmWnd w;
  INIT_WND(&w, 0, 0, 0, 10, 20, 0);
  ASSERT_NE(wm_attach(&w, srf, 0), 0u);
  auto* rec = static_cast<WmWndRec*>(arena::at(w.window));
  EXPECT_EQ(rec->row.get(), 7);
  EXPECT_EQ(rec->col.get(), 31);
  INIT_WND(&w, 0, -1, -1, 10, 20, 0);
  ASSERT_NE(wm_attach(&w, srf, 0), 0u);
  rec = static_cast<WmWndRec*>(arena::at(w.window));
  EXPECT_EQ(rec->row.get(), 13);  // last row on row 22
  EXPECT_EQ(rec->col.get(), 61);  // last column on 80
  INIT_WND(&w, 0, -3, 2, 1, 5, 0);
  ASSERT_NE(wm_attach(&w, srf, 0), 0u);
  rec = static_cast<WmWndRec*>(arena::at(w.window));
  EXPECT_EQ(rec->row.get(), 20);
  EXPECT_EQ(rec->col.get(), 2);
  INIT_WND(&w, 0, 0, 0, 30, 20, 0);  // centred, taller than the area
  ASSERT_NE(wm_attach(&w, srf, 0), 0u);
  EXPECT_EQ(static_cast<WmWndRec*>(arena::at(w.window))->row.get(), 1);
  INIT_WND(&w, 3, 0, 1, 1, 80, 0);
  ASSERT_NE(wm_attach(&w, srf, 0), 0u);
  rec = static_cast<WmWndRec*>(arena::at(w.window));
  EXPECT_EQ(rec->row.get(), 23);
  EXPECT_NE(WM__ATTACH(&w, srf, 0), 0u);
  EXPECT_EQ(w.status.get(), 0u);
}

TEST_F(Wm, WindowThatDoesNotFitIsRefused) {
  WmWnd w;
  INIT_WND(&w, 0, 0, 0, 10, 300, 0);  // wider than the logical screen
  EXPECT_EQ(wm_attach(&w, srf, 0), 0u);
  EXPECT_EQ(w.status.get(), kWmNoFit);
  INIT_WND(&w, 0, 0, 0, 0, 10, 0);
  EXPECT_EQ(wm_attach(&w, srf, 0), 0u);
  EXPECT_EQ(w.status.get(), kWmNoFit);
  // Without panning a window must fit the terminal.
  com.panning = 0;
  INIT_WND(&w, 0, 0, 0, 10, 100, 0);
  EXPECT_EQ(wm_attach(&w, srf, 0), 0u);
  EXPECT_EQ(w.status.get(), kWmNoFit);
  INIT_WND(&w, 0, 20, 1, 10, 10, 0);
  EXPECT_EQ(wm_attach(&w, srf, 0), 0u);
  INIT_WND(&w, 0, 1, 71, 1, 10, 0);  // ends on column 80
  WmHandle edge = wm_attach(&w, srf, 0);
  EXPECT_NE(edge, 0u);
  wm_detach(edge, 1);
  INIT_WND(&w, 0, 1, 72, 1, 10, 0);
  EXPECT_EQ(wm_attach(&w, srf, 0), 0u);
  // The status and message lines are no place for it either.
  INIT_WND(&w, 0, 20, 1, 4, 10, 0);
  EXPECT_EQ(wm_attach(&w, srf, 0), 0u);
  EXPECT_EQ(w.status.get(), kWmNoFit);
  // With panning it lies beyond the terminal; the application area views
  // it, and the status line and the message line stay whole.
  com.panning = 1;
  status_line(com.status_surface.get());
  INIT_WND(&w, 0, 20, 1, 10, 100, 0);
  WmHandle h = wm_attach(&w, srf, 0);
  ASSERT_NE(h, 0u);
  wm_write_reg(w.region, std::string(1000, 'x'));
  WmShow sb{};
  ASSERT_EQ(show(&sb, wmshow::kDraw), 1);
  EXPECT_EQ(term.row(20).substr(0, 80), std::string(80, 'x'));
  EXPECT_EQ(term.row(22).substr(0, 80), std::string(80, 'x'));
  EXPECT_EQ(term.row(23).substr(0, 12), "STATUS LINE ");
  EXPECT_EQ(term.row(24), std::string(80, ' '));
  int s, wn, r;
  wm_counts(&s, &wn, &r);
  EXPECT_EQ(wn, 2);
}

// A window taller than the application area: the cursor going down into it
// pans the view instead of landing on the status line, and typing goes into
// the field that shows under the cursor.
TEST_F(Wm, TallWindowPansAboveTheStatusLine) {
  status_line(com.status_surface.get());
  WmHandle reg{};
  WmHandle w = window(1, 1, 30, 20, &reg, ".");
  char* f23 = text("          ");
  input_field(reg, 23, 1, f23, 10);
  wm_actv(w);
  term.key(kDown);
  term.type("Z");
  term.key(kEnterKey);
  std::vector<std::string> r23;
  term.on_wait = [&] { r23.push_back(term.row(23)); };
  WmShow sb = sb_at(reg, 22, 1);
  ASSERT_EQ(show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack), 1);
  EXPECT_EQ(std::string(f23, 10), "Z         ");
  EXPECT_EQ(sb.row.get(), 23);
  EXPECT_EQ(sb.scr_row.get(), 22);  // panned down by one row
  for (const std::string& l : r23) EXPECT_EQ(l.substr(0, 11), "STATUS LINE");
  EXPECT_EQ(term.row(22).substr(0, 10), "Z         ");
}

TEST_F(Wm, StackingLimboAndReattach) {
  WmHandle ra{}, rb{};
  WmHandle a = window(2, 2, 5, 10, &ra, "A");
  WmHandle b = window(4, 6, 5, 10, &rb, "B");
  WmShow sb{};
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(2).substr(0, 16), " AAAAAAAAAA     ");
  EXPECT_EQ(term.row(4).substr(0, 16), " AAAABBBBBBBBBB ");  // B on top
  // Reattach raises A.
  ASSERT_EQ(wm_reattach(a, srf, nullptr), 1);
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(4).substr(0, 16), " AAAAAAAAAABBBB ");
  // The row below A's last one is B's.
  WmShow below = sb_at(rb, 4, 1);
  show(&below, wmshow::kDraw);
  EXPECT_EQ(below.cur_region.get(), rb);
  // Limbo hides A and keeps it.
  ASSERT_EQ(wm_detach(a, 0), 1);
  WmItem back = item(1, 1, text("A"), 1);
  ASSERT_EQ(wm_upd_itm(ra, &back, 0, 0, 0), 1);
  EXPECT_EQ(back.upd.get(), wmupd::kLater);  // shown once A is back
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(2).substr(0, 16), std::string(16, ' '));
  EXPECT_EQ(term.row(4).substr(0, 16), "     BBBBBBBBBB ");
  auto* rec = static_cast<WmWndRec*>(arena::at(a));
  EXPECT_EQ(rec->limbo.get(), 1);
  WmPlace at{10, 40};
  ASSERT_EQ(wm_reattach(a, srf, &at), 1);
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(10).substr(39, 10), "AAAAAAAAAA");
  // A window's cells hide what lies below, those no region covers too;
  // control characters show blank; the message surface's windows lie over
  // every other surface's.
  WmWnd top;
  INIT_WND(&top, 0, 10, 42, 2, 4, 0);
  top.scroll = 1;
  top.reg_rows = 1;
  ASSERT_NE(wm_attach(&top, srf, 0), 0u);
  wm_write_reg(top.region, "\x1f\x7f");
  INIT_WND(&top, 0, 10, 48, 1, 1, 0);
  ASSERT_NE(wm_attach(&top, com.msg_surface.get(), 0), 0u);
  wm_write_reg(top.region, "M");
  uint32_t later;
  ASSERT_EQ(wm_create_srf(&later, 0), 1);
  INIT_WND(&top, 0, 10, 48, 1, 2, 0);
  ASSERT_NE(wm_attach(&top, later, 0), 0u);
  wm_write_reg(top.region, "LL");
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(10).substr(39, 10), "AA    AAML");
  EXPECT_EQ(term.row(11).substr(39, 10), "AA    AAAA");
  // Destroyed: the handle is refused with a system error, not a crash.
  ASSERT_EQ(wm_detach(b, 1), 1);
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(wm_actv(b), 0);
  EXPECT_EQ(cap.count(), 1u);
  EXPECT_NE(cap.last().find("bad window handle"), std::string::npos);
  EXPECT_EQ(wm_write_reg(rb, "x"), 0);
  EXPECT_NE(cap.last().find("bad region handle"), std::string::npos);
}

TEST_F(Wm, ScopesReleaseTheirWindowsAndSurfaces) {
  int s0, w0, r0;
  wm_counts(&s0, &w0, &r0);
  WmHandle outer = 0, inner_srf = 0;
  int code = mark(1, [&] {
    WmWnd w;
    INIT_WND(&w, 0, 0, 0, 3, 10, 0);
    outer = wm_attach(&w, srf, 0);  // base scope: survives
    uint32_t s2;
    ASSERT_EQ(wm_create_srf(&s2, com.depth), 1);
    inner_srf = s2;
    INIT_WND(&w, 0, 1, 1, 3, 10, 0);
    ASSERT_NE(wm_attach(&w, s2, com.depth), 0u);
    ASSERT_NE(wm_attach(&w, s2, com.depth), 0u);
    ASSERT_EQ(wm_reattach(outer, s2, nullptr), 1);  // an outer window on the inner surface
    int s, wn, r;
    wm_counts(&s, &wn, &r);
    EXPECT_EQ(wn, w0 + 3);
    ut_unwind(3);
  });
  EXPECT_EQ(code, 3);
  int s, wn, r;
  wm_counts(&s, &wn, &r);
  EXPECT_EQ(s, s0);
  EXPECT_EQ(wn, w0 + 1);
  EXPECT_EQ(r, r0 + 1);
  auto* rec = static_cast<WmWndRec*>(arena::at(outer));
  EXPECT_EQ(rec->limbo.get(), 1);  // its surface went; it waits in limbo
  EXPECT_EQ(wm_reattach(outer, srf, nullptr), 1);
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(wm_destroy_srf(inner_srf), 0);
  // A surface destroyed takes its windows of its own scope with it; a scope
  // deeper than the current one is refused.
  uint32_t s3 = 0;
  ASSERT_EQ(wm_create_srf(&s3, 0), 1);
  WmWnd w;
  INIT_WND(&w, 0, 1, 1, 3, 10, 0);
  ASSERT_NE(wm_attach(&w, s3, 0), 0u);
  ASSERT_EQ(wm_destroy_srf(s3), 1);
  wm_counts(&s, &wn, &r);
  EXPECT_EQ(wn, w0 + 1);
  EXPECT_EQ(wm_create_srf(&s3, com.depth + 1), 0);
  EXPECT_NE(cap.last().find("bad scope"), std::string::npos);
}

TEST_F(Wm, ItemsCharacteristicsAndInactiveWindows) {
  WmHandle reg{};
  WmHandle w = window(1, 1, 4, 40, &reg);
  ASSERT_EQ(wm_write_reg(reg, "Name:"), 1);
  WmItem it = item(1, 7, text("SMITH     "), 10);
  ASSERT_EQ(wm_insert_itm(reg, &it, wa::kBright | wa::kInput | wa::kFill, 0xFFFFFFFF, 0), 1);
  EXPECT_EQ(wm_insert_itm(reg, &it, 0, 0, 0), 0);  // the place is taken
  WmChr c{};
  c.row = 2;
  c.col = 1;
  c.rows = 1;
  c.cols = 5;
  c.attr = wa::kInverse | wa::kUnderline;
  c.colour = 0x21;
  ASSERT_EQ(wm_write_reg(reg, "Name:", std::span<const WmItem>(&it, 1)), 1);
  wm_upd_reg(reg, {}, std::span<const WmChr>(&c, 1));
  wm_upd_itm(reg, &it, wa::kBright | wa::kInput | wa::kFill, 0xFFFFFFFF, 0);
  EXPECT_EQ(it.upd.get(), wmupd::kShown);
  wm_write_reg(reg, std::string(40, ' ') + "Under");
  WmItem it2 = item(1, 7, text("SMITH     "), 10);
  wm_insert_itm(reg, &it2, wa::kBright | wa::kInput | wa::kFill, 0xFFFFFFFF, 0);
  wm_upd_chr(reg, &c, 0xFFFFFFFF);
  wm_actv(w);
  WmShow sb{};
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(1).substr(0, 16), "      SMITH_____");  // fill shows in the blanks
  EXPECT_TRUE(term.at(1, 7).vis & tmv::kBold);
  EXPECT_EQ(term.row(2).substr(0, 5), "Under");
  EXPECT_TRUE(term.at(2, 1).vis & tmv::kReverse);
  EXPECT_TRUE(term.at(2, 5).vis & tmv::kUnderline);
  EXPECT_FALSE(term.at(2, 6).vis & tmv::kReverse);
  EXPECT_EQ(term.at(2, 3).colour, 0x21);
  // Inactive: no bold, no fill; underline and inverse stay.
  wm_deactv(w);
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(1).substr(0, 16), "      SMITH     ");
  EXPECT_FALSE(term.at(1, 7).vis & tmv::kBold);
  EXPECT_TRUE(term.at(2, 1).vis & tmv::kReverse);
  // Replace only some bits: clear inverse, keep underline.
  WmChr n = c;
  n.attr = 0;
  wm_upd_chr(reg, &n, wa::kInverse);
  // Hidden and shown-as-blanks items.
  WmItem it3 = item(3, 1, text("SECRET"), 6);
  wm_insert_itm(reg, &it3, wa::kHidden, wa::kHidden, 0);
  WmItem it4 = item(4, 1, text("BLANKED"), 7);
  it4.dspl_mode = 2;
  wm_insert_itm(reg, &it4, 0, 0, 0);
  show(&sb, wmshow::kDraw);
  EXPECT_FALSE(term.at(2, 1).vis & tmv::kReverse);
  EXPECT_TRUE(term.at(2, 1).vis & tmv::kUnderline);
  EXPECT_EQ(term.row(3).substr(0, 6), "      ");
  EXPECT_EQ(term.row(4).substr(0, 7), "       ");
  // Removing the item clears its bits and its text.
  ASSERT_EQ(wm_remove_itm(reg, &it2, 0xFFFFFFFF, 0), 1);
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(1).substr(0, 16), "                ");
  EXPECT_EQ(wm_remove_itm(reg, &it2, 0, 0), 0);
}

TEST_F(Wm, PreparedCharacteristicCoversItsColumns) {
  WmHandle reg{};
  WmHandle w = window(1, 1, 4, 40, &reg);
  ASSERT_EQ(wm_write_reg(reg, "Total:    12"), 1);
  WmChr c;
  std::memset(&c, 0xAB, sizeof c);
  CHR_PREP(&c);
  EXPECT_EQ(c.rows.get(), 1);
  EXPECT_EQ(c.cols.get(), 1);
  EXPECT_EQ(c.attr.get(), 0u);
  c.row = 1;
  SET_CHR(&c, 3, 4);
  c.attr = wa::kInverse;
  wm_upd_chr(reg, &c, 0xFFFFFFFF);
  wm_actv(w);
  WmShow sb{};
  show(&sb, wmshow::kDraw);
  EXPECT_FALSE(term.at(1, 2).vis & tmv::kReverse);
  for (int col = 3; col <= 6; ++col) EXPECT_TRUE(term.at(1, col).vis & tmv::kReverse) << col;
  EXPECT_FALSE(term.at(1, 7).vis & tmv::kReverse);
  EXPECT_FALSE(term.at(2, 3).vis & tmv::kReverse);
}

TEST_F(Wm, BoxesAndLines) {
  WmHandle reg{};
  window(2, 2, 5, 10, &reg);
  WmChr box{};
  box.row = 1;
  box.col = 1;
  box.rows = 5;
  box.cols = 10;
  box.attr = wa::kBox | wa::kBright;
  WmChr line = box;
  line.row = 3;
  line.rows = 1;
  wm_upd_chr(reg, &box, 0xFFFFFFFF);
  wm_upd_chr(reg, &line, 0xFFFFFFFF);
  WmShow sb{};
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.at(2, 2).ch, 'l');
  EXPECT_TRUE(term.at(2, 2).vis & tmv::kLine);
  EXPECT_EQ(term.at(2, 11).ch, 'k');
  EXPECT_EQ(term.at(6, 2).ch, 'm');
  EXPECT_EQ(term.at(6, 11).ch, 'j');
  EXPECT_EQ(term.at(3, 2).ch, 'x');
  EXPECT_EQ(term.at(4, 5).ch, 'q');
  // A box one column past its region has no right edge there; lines that
  // pass the region by all a word holds are drawn over its cells as
  // quickly.
  WmHandle reg2;
  window(8, 2, 3, 10, &reg2);
  box.rows = 3;
  box.cols = 11;
  wm_upd_chr(reg2, &box, 0xFFFFFFFF);
  line.row = 2;
  line.col = 2;
  line.cols = 0x7FFFFFFF;
  wm_upd_chr(reg2, &line, 0xFFFFFFFF);
  WmChr tall = line;
  tall.row = 1;
  tall.col = 5;
  tall.cols = 1;
  tall.rows = 0x7FFFFFFF;
  wm_upd_chr(reg2, &tall, 0xFFFFFFFF);
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.at(8, 2).ch, 'l');
  EXPECT_EQ(term.at(8, 11).ch, 'q');
  EXPECT_EQ(term.at(10, 11).ch, 'q');
  EXPECT_EQ(term.at(9, 2).ch, 'x');
  EXPECT_EQ(term.at(9, 11).ch, 'q');
  EXPECT_EQ(term.at(10, 6).ch, 'x');
  // One row past its region: no bottom edge, nothing below the window.
  WmHandle reg3;
  window(12, 2, 2, 10, &reg3);
  box.rows = 3;
  box.cols = 10;
  wm_upd_chr(reg3, &box, 0xFFFFFFFF);
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.at(12, 11).ch, 'k');
  EXPECT_EQ(term.at(13, 2).ch, 'x');
  EXPECT_EQ(term.row(14).substr(0, 12), std::string(12, ' '));
}

// A numeric field takes a number as a whole: the first character typed at
// its start clears it; the characters after it, and typing after the
// cursor has moved on, edit it in place.
TEST_F(Wm, TheFirstKeyAtTheStartOfANumericFieldClearsIt) {
  WmHandle reg{};
  WmHandle w = window(1, 1, 3, 40, &reg);
  char* buf = text("      .00 ");
  WmItem it = item(2, 5, buf, 10);
  it.data_type = 8;
  ASSERT_EQ(wm_insert_itm(reg, &it, wa::kInput, 0xFFFFFFFF, 0), 1);
  wm_actv(w);
  WmShow sb = sb_at(reg, 2, 5);
  term.type("12");
  term.key(kEnterKey);
  ASSERT_EQ(show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack), 1);
  EXPECT_EQ(std::string(buf, 10), "12        ");
  // Started past the first place: typed over.
  sb = sb_at(reg, 2, 6);
  term.type("5");
  term.key(kEnterKey);
  show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack);
  EXPECT_EQ(std::string(buf, 10), "15        ");
}

TEST_F(Wm, EditingKeysAndCopyBack) {
  WmHandle reg{};
  WmHandle w = window(1, 1, 3, 40, &reg);
  char* buf = text("HELLO WORLD         ");
  WmItem it = item(2, 5, buf, 20);
  ASSERT_EQ(wm_insert_itm(reg, &it, wa::kInput, 0xFFFFFFFF, 0), 1);
  wm_actv(w);
  WmShow sb = sb_at(reg, 2, 5);
  // Overtype "J", right, insert mode "XY", delete a character, end, "!",
  // backspace twice.
  term.type("J");
  term.key(kRight);
  term.key(kIns);
  term.type("XY");
  term.key(kDel);
  term.key(kEndKey);
  term.type("!?");
  term.key(kBs);
  term.key(kEnterKey);
  ASSERT_EQ(show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack), 1);
  EXPECT_EQ(sb.option.get(), opt::kEnter);
  EXPECT_EQ(std::string(buf, 20), "JEXYLO WORLD!       ");
  EXPECT_TRUE(sb.status.get() & wmshow::kChanged);
  EXPECT_EQ(sb.cur_region.get(), reg);
  EXPECT_EQ(sb.fld_row.get(), 2);
  EXPECT_EQ(sb.fld_col.get(), 5);
  EXPECT_EQ(sb.row.get(), 2);
  EXPECT_EQ(sb.col.get(), 18);
  // Clear to end from the start of the second word, then clear all and type.
  sb.curs_req = wmshow::kReqRowCol;
  sb.req_col = 10;
  term.key("\x0b");
  term.key(kEnterKey);
  show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack);
  EXPECT_EQ(std::string(buf, 20), "JEXYL               ");
  // Without copy-back the item keeps its text; the typing stays on screen.
  term.key("\x15");
  term.type("new");
  term.key(kEnterKey);
  show(&sb, wmshow::kDraw | wmshow::kWait);
  EXPECT_EQ(std::string(buf, 20), "JEXYL               ");
  EXPECT_EQ(term.row(2).substr(4, 5), "new  ");
  EXPECT_FALSE(sb.status.get() & wmshow::kChanged);
  sb.curs_req = 0;
  term.key(kEnterKey);
  show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack);
  EXPECT_EQ(std::string(buf, 20), "new                 ");
}

TEST_F(Wm, InsertIntoAFullFieldRingsAndKeepsTheText) {
  WmHandle reg{};
  WmHandle w = window(1, 1, 2, 20, &reg);
  char* buf = text("ABCDE");
  WmItem it = item(1, 1, buf, 5);
  it.edit_len = 4;  // only four may be typed
  wm_insert_itm(reg, &it, wa::kInput | wa::kUpper, 0xFFFFFFFF, 0);
  wm_actv(w);
  WmShow sb = sb_at(reg, 1, 2);
  term.key(kIns);
  term.type("z");  // the last typing position holds 'D': refused
  term.key(kIns);
  term.type("xyzw");  // overtype, upper case; stops at the edit width
  term.key(kEnterKey);
  int beeps = term.beeps;
  show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack);
  EXPECT_EQ(std::string(buf, 5), "AXYZE");
  EXPECT_EQ(term.beeps, beeps + 2);
  // An edit width past the text: typing stops at the text's end.
  char* two = text("ab");
  WmItem o = item(1, 10, two, 2);
  o.edit_len = 5;
  wm_insert_itm(reg, &o, 0, 0, 0);
  WmChr c;
  CHR_PREP(&c);
  SET_CHR(&c, 10, 5);
  c.rows = 2;
  c.attr = wa::kInput;
  wm_upd_chr(reg, &c, 0xFFFFFFFF);
  sb = sb_at(reg, 1, 10);
  term.type("xyz");
  term.key(kEnterKey);
  beeps = term.beeps;
  show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack);
  EXPECT_EQ(std::string(two, 3), std::string("xy\0", 3));
  EXPECT_EQ(term.beeps, beeps + 1);
  EXPECT_EQ(sb.row.get(), 1);
  EXPECT_EQ(sb.col.get(), 11);
}

TEST_F(Wm, TabMovesBetweenFieldsOfActiveWindows) {
  WmHandle r1, r2, r3;
  WmHandle w1 = window(1, 1, 3, 30, &r1);
  WmHandle w2 = window(5, 1, 3, 30, &r2);
  WmHandle w3 = window(10, 1, 3, 30, &r3);  // stays inactive
  WmItem a = item(1, 10, text("aaaa"), 4), b = item(3, 2, text("bbbb"), 4), c = item(2, 5, text("cccc"), 4),
         d = item(1, 1, text("dddd"), 4);
  wm_insert_itm(r1, &a, wa::kInput, 0xFFFFFFFF, 0);
  wm_insert_itm(r1, &b, wa::kInput, 0xFFFFFFFF, 0);
  wm_insert_itm(r2, &c, wa::kInput, 0xFFFFFFFF, 0);
  wm_insert_itm(r3, &d, wa::kInput, 0xFFFFFFFF, 0);
  wm_actv(w1);
  wm_actv(w2);
  (void)w3;
  WmShow sb = sb_at(r1, 1, 1);
  term.key(kTab);
  term.type("1");
  term.key(kTab);
  term.type("2");
  term.key(kTab);
  term.type("3");
  term.key(kTab);  // wraps to the first field
  term.type("4");
  term.key("\x1b[Z");  // back to the last
  term.type("5");
  term.key(kEnterKey);
  show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack);
  EXPECT_EQ(std::string(static_cast<char*>(a.text.get()), 4), "4aaa");
  EXPECT_EQ(std::string(static_cast<char*>(b.text.get()), 4), "2bbb");
  EXPECT_EQ(std::string(static_cast<char*>(c.text.get()), 4), "5ccc");
  EXPECT_EQ(std::string(static_cast<char*>(d.text.get()), 4), "dddd");
  EXPECT_EQ(sb.cur_region.get(), r2);
}

TEST_F(Wm, NumberedOptionsAreTypedOutsideFields) {
  WmHandle reg{};
  window(1, 1, 5, 30, &reg, "-");
  WmShow sb = sb_at(reg, 2, 2);
  term.type("255");
  term.key(kEnterKey);
  ASSERT_EQ(show(&sb), 1);
  EXPECT_EQ(sb.option.get(), 255);
  sb.curs_req = 0;
  term.type("2560");  // a fourth digit rings
  term.key(kEnterKey);  // too big: bell, nothing returned
  term.type("7");
  term.type("3");
  term.key(kBs);
  term.key(kEnterKey);
  int beeps = term.beeps;
  show(&sb);
  EXPECT_EQ(sb.option.get(), 7);
  EXPECT_EQ(term.beeps, beeps + 2);
  term.type("0");
  term.key(kEnterKey);
  show(&sb);
  EXPECT_EQ(sb.option.get(), 0);
  term.type("5");
  term.key(kEsc);  // CANCEL drops the digits first
  term.key(kEsc);
  show(&sb);
  EXPECT_EQ(sb.option.get(), opt::kCancel);
  // Other option keys end the wait with their code.
  term.key("\x1bOR");
  show(&sb);
  EXPECT_EQ(sb.option.get(), opt::kEnd);
  EXPECT_TRUE(sb.status.get() & wmshow::kOutside);  // the window is not active
}

TEST_F(Wm, MacrosUnknownSequencesAndLiteralNext) {
  WmHandle reg{};
  WmHandle w = window(1, 1, 1, 20, &reg);
  char* buf = text("          ");
  WmItem it = item(1, 1, buf, 10);
  wm_insert_itm(reg, &it, wa::kInput, 0xFFFFFFFF, 0);
  wm_actv(w);
  WmShow sb = sb_at(reg, 1, 1);
  term.key("\x1b[99~");   // unknown: rings, types nothing
  term.key("\x1b[1;9Z");  // unknown with parameters
  term.key("\x16");       // literal next, then ^L as a character
  term.key("\x0c");
  term.key("\x1b[17~");   // the macro: "AB" then ENTER
  int beeps = term.beeps;
  show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack);
  EXPECT_EQ(sb.option.get(), opt::kEnter);
  EXPECT_EQ(std::string(buf, 10), "\x0c" "AB       ");
  EXPECT_EQ(term.beeps, beeps + 2);
  EXPECT_EQ(term.row(1).substr(0, 3), " AB");  // a control character shows as a blank
}

TEST_F(Wm, PanningMovesTheViewWhereAllowed) {
  WmHandle reg{};
  WmHandle w = window(1, 90, 3, 30, &reg, "P");
  ASSERT_NE(w, 0u);
  WmShow sb{};
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(1), std::string(80, ' '));
  for (int i = 0; i < 3; ++i) term.key("\x1b[1;2C");  // pan right three steps
  term.key("\x1bOR");
  show(&sb);
  EXPECT_EQ(sb.option.get(), opt::kEnd);
  EXPECT_EQ(term.row(1).substr(65, 15), std::string(15, 'P'));
  // Vertical panning off: down does nothing, right still works.
  com.panning = 3;
  term.key("\x1b[1;2B");
  term.key("\x1b[1;2D");
  term.key("\x1bOR");
  show(&sb);
  EXPECT_EQ(term.row(1).substr(73, 7), std::string(7, 'P'));
  // Panning off: the keys ring.
  com.panning = 0;
  int beeps = term.beeps;
  term.key("\x1b[1;2C");
  term.key("\x1bOR");
  show(&sb);
  EXPECT_EQ(term.beeps, beeps + 1);
  // The cursor moving past the edge pans to it.
  com.panning = 1;
  wm_actv(w);
  WmShow s2 = sb_at(reg, 2, 30);
  term.key("\x1bOR");
  show(&s2);
  int r, c;
  wm_cursor(&r, &c);
  EXPECT_EQ(c, 80);
  EXPECT_EQ(s2.col.get(), 30);
}

// The view pans as far as the windows' last row and column and no further,
// also when the terminal grows; the cursor stops at the last column of the
// screen (panning off) or of the windows (panning on).
TEST_F(Wm, PanningStopsAtTheWindowsLastRowAndColumn) {
  com.panning = 0;
  WmHandle edge{};
  WmHandle e = window(1, 1, 2, 80, &edge, ".");
  WmShow sb = sb_at(edge, 1, 80);
  term.key(kRight);
  term.key("\x1bOR");
  int beeps = term.beeps;
  show(&sb);
  EXPECT_EQ(sb.col.get(), 80);
  EXPECT_EQ(term.beeps, beeps + 1);
  wm_detach(e, 1);
  com.panning = 1;
  WmHandle reg{};
  window(1, 1, 30, 100, &reg);
  std::string t;
  for (int r = 0; r < 30; ++r) t += std::string(99, char('0' + r)) + "#";
  ASSERT_EQ(wm_write_reg(reg, t), 1);
  for (int i = 0; i < 9; ++i) term.key("\x1b[1;2B");  // one more than the 8 rows below
  for (int i = 0; i < 3; ++i) term.key("\x1b[1;2C");  // 24 columns for the 20 to the right
  term.key("\x1bOR");
  sb = WmShow{};
  show(&sb);
  EXPECT_EQ(term.row(1), std::string(79, '8') + "#");
  EXPECT_EQ(term.row(22), std::string(79, 'M') + "#");
  // Two rows more: the view goes back up by two to show the last row last.
  term.next_rows = 26;
  term.next_cols = 80;
  term.script.push_back(kTmResize);
  term.key("\x1bOR");
  show(&sb);
  EXPECT_EQ(term.row(24), std::string(79, 'M') + "#");
  sb = sb_at(reg, 1, 100);
  term.key(kRight);
  term.key("\x1bOR");
  beeps = term.beeps;
  show(&sb);
  EXPECT_EQ(sb.col.get(), 100);
  EXPECT_EQ(term.beeps, beeps + 1);
}

TEST_F(Wm, MessagesPendingKeyAndMessageLine) {
  WmHandle q = wm_msgq_create(0);
  wm_msgq_add(q, 1, 0, "First message");
  wm_msgq_add(q, 2, 2, "ERROR - Second");
  WmShow sb{};
  std::vector<std::string> seen;
  term.on_wait = [&] { seen.push_back(term.row(24)); };
  term.key("\x1b[24~");
  term.key("\x1b[24~");  // nothing more: bell
  term.key("\x1bOR");
  int beeps = term.beeps;
  show(&sb, wmshow::kDraw | wmshow::kWait, q);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].substr(0, 13), "First message");
  EXPECT_NE(seen[0].find("(+1)"), std::string::npos);
  EXPECT_EQ(seen[1].substr(0, 14), "ERROR - Second");
  EXPECT_TRUE(term.at(24, 1).vis & tmv::kReverse);
  EXPECT_EQ(term.beeps, beeps + 1);
  // The message line of system texts shows at once, over the whole of a
  // window on that line.
  WmWnd ml;
  INIT_WND(&ml, 3, 24, 1, 1, 80, 0);
  ASSERT_NE(wm_attach(&ml, srf, 0), 0u);
  wm_write_reg(ml.region, std::string(80, '#'));
  la_sys_err("Record held by user ABC", 0);
  EXPECT_EQ(term.row(24), "Record held by user ABC" + std::string(57, ' '));
  wm_detach(ml.window, 1);
  // A show without messages clears the line.
  term.key("\x1bOR");
  show(&sb);
  EXPECT_EQ(term.row(24), std::string(80, ' '));
}

TEST_F(Wm, NoWaitDisplayAndTimeOut) {
  WmShow sb{};
  ASSERT_EQ(show(&sb, wmshow::kDraw), 1);
  EXPECT_EQ(sb.option.get(), opt::kNext);
  sb.timeout = 1;
  ASSERT_EQ(show(&sb), 1);  // the memory terminal never types
  EXPECT_EQ(sb.option.get(), opt::kNoAction);
  EXPECT_TRUE(sb.status.get() & wmshow::kTimedOut);
  // Without a time-out the gone terminal is a hang-up.
  sb.timeout = 0;
  EXPECT_THROW(show(&sb), Hangup);
}

TEST_F(Wm, ResizeReplacesCentredWindows) {
  WmHandle reg{};
  window(0, 0, 4, 10, &reg, "C");
  term.next_rows = 30;
  term.next_cols = 100;
  term.script.push_back(kTmResize);
  term.key("\x1bOR");
  WmShow sb{};
  show(&sb);
  EXPECT_TRUE(sb.status.get() & wmshow::kResized);
  EXPECT_EQ(com.rows.get(), 30);
  EXPECT_EQ(com.cols.get(), 100);
  // 28 rows of application area: (28 - 4) / 2 + 1 = 13; (100 - 10) / 2 + 1 = 46.
  EXPECT_EQ(term.row(13).substr(45, 10), std::string(10, 'C'));
  EXPECT_GE(term.full_flushes, 2);
}

// A terminal too small for a window placed at the bottom: its top row
// stays on the screen's first row.
TEST_F(Wm, SmallerTerminalKeepsTheTopRowOfABottomWindow) {
  WmHandle reg{};
  window(-1, 1, 10, 5, &reg);
  wm_write_reg(reg, "AAAAABBBBBCCCCCDDDDDEEEEEFFFFFGGGGGHHHHHIIIIIJJJJJ");
  term.next_rows = 8;
  term.next_cols = 80;
  term.script.push_back(kTmResize);
  term.key("\x1bOR");
  WmShow sb{};
  show(&sb);
  EXPECT_EQ(term.row(1).substr(0, 6), "AAAAA ");
  EXPECT_EQ(term.row(6).substr(0, 6), "FFFFF ");
}

// The resize hook runs in the wait once the size is taken, and what it
// lays out (a status line of the new width) is on the screen the wait
// draws next, before any key. Cleared, it is called no more.
TEST_F(Wm, ResizeHookLaysOutBeforeTheNextDraw) {
  static uint32_t surface;
  static int calls;
  surface = srf;
  calls = 0;
  wm_set_resized([] {
    ++calls;
    WmWnd st;
    INIT_WND(&st, 3, 0, 1, 1, com.cols, 0);
    ASSERT_NE(wm_attach(&st, surface, 0), 0u);
    wm_write_reg(st.region, std::string(size_t(com.cols.get()) - 3, ' ') + "END");
  });
  term.next_rows = 30;
  term.next_cols = 100;
  term.script.push_back(kTmResize);
  term.key("\x1bOR");
  std::string seen;
  term.on_wait = [&] {
    if (seen.empty() && term.rows == 30) seen = term.row(29);
  };
  WmShow sb{};
  show(&sb);
  wm_set_resized(nullptr);
  EXPECT_EQ(seen.substr(97), "END");
  EXPECT_EQ(calls, 1);
  term.next_rows = 24;
  term.next_cols = 80;
  term.script.push_back(kTmResize);
  term.key("\x1bOR");
  show(&sb);
  EXPECT_EQ(com.cols.get(), 80);
  EXPECT_EQ(calls, 1);
}

TEST_F(Wm, SystemErrorWindowAsksContinueOrCancel) {
  WmHandle reg{};
  window(1, 1, 5, 30, &reg, ".");
  std::vector<std::string> seen;
  term.on_wait = [&] {
    for (int r = 1; r <= 24; ++r) seen.push_back(term.row(r));
  };
  term.type("c");
  std::snprintf(ut_dbg, sizeof ut_dbg, "something went wrong");
  os_sys_err("TEST.C", 42);  // answered Continue: returns
  EXPECT_TRUE(seen_any(seen, "SYSTEM ERROR"));
  EXPECT_TRUE(seen_any(seen, "something went wrong"));
  WmShow sb{};
  show(&sb, wmshow::kDraw);
  for (int r = 1; r <= 24; ++r) EXPECT_EQ(term.row(r).find("SYSTEM ERROR"), std::string::npos);
  // CANCEL unwinds the innermost scope with 3.
  term.key(kEsc);
  int code = mark(0, [] {
    std::snprintf(ut_dbg, sizeof ut_dbg, "again");
    os_sys_err("TEST.C", 43);
    ADD_FAILURE() << "CANCEL should not return";
  });
  EXPECT_EQ(code, 3);
}

TEST_F(Wm, BadInputGivesSystemErrors) {
  SysErrCapture cap(SysErrAnswer::Continue);
  WmHandle reg{};
  window(1, 1, 2, 10, &reg);
  EXPECT_EQ(wm_write_reg(reg, std::string(21, 'x')), 0);
  EXPECT_EQ(cap.last(), "wm_write_reg() - reg too big");
  // Text of the region's size is taken; none at all (no bytes to copy
  // from: an image without rows) clears the region.
  EXPECT_EQ(wm_write_reg(reg, std::string(20, 'x')), 1);
  EXPECT_EQ(wm_write_reg(reg, std::string_view()), 1);
  WmShow clear{};
  ASSERT_EQ(show(&clear, wmshow::kDraw), 1);
  EXPECT_EQ(term.row(1).substr(0, 10), std::string(10, ' '));
  EXPECT_EQ(term.row(2).substr(0, 10), std::string(10, ' '));
  WmItem big = item(2, 5, text("0123456789"), 10);
  EXPECT_EQ(wm_write_reg(reg, "", std::span<const WmItem>(&big, 1)), 0);
  EXPECT_EQ(cap.last(), "wm_write_reg() - reg too big");
  EXPECT_EQ(wm_upd_itm(reg, nullptr, 0, 0, 0), 0);
  EXPECT_EQ(cap.last(), "wm_upd_itm() - null region or item");
  EXPECT_EQ(wm_upd_itm(0, &big, 0, 0, 0), 0);
  EXPECT_EQ(wm_insert_itm(reg, &big, 0, 0, 0), 0);
  EXPECT_EQ(wm_detach(0xDEADBEEF, 1), 0);
  EXPECT_EQ(wm_pos_reg(reg, 256), 0u);
  EXPECT_NE(cap.last().find("bad region number"), std::string::npos);
  EXPECT_EQ(wm_show(nullptr, 0), 0);
  WmShow sb{};
  sb.curs_req = 9;
  term.key("\x1bOR");
  EXPECT_EQ(show(&sb), 1);
  EXPECT_NE(cap.last().find("bad cursor request"), std::string::npos);
  // An item whose text is not engine memory is shown blank, with an error.
  WmItem odd = item(1, 1, text("ok"), 2);
  odd.text.off.set(0xFFFFFF00u);
  EXPECT_EQ(wm_insert_itm(reg, &odd, 0, 0, 0), 1);
  EXPECT_NE(cap.last().find("not engine memory"), std::string::npos);
  // So is one that starts a byte before the arena's first block or ends a
  // byte past its committed memory.
  for (uint64_t off : {uint64_t(arena::kGuard) - 1, arena::committed() - 1}) {
    size_t n = cap.count();
    odd.text.off.set(uint32_t(off));
    EXPECT_EQ(wm_upd_itm(reg, &odd, 0, 0, 0), 1);
    EXPECT_EQ(cap.count(), n + 1) << off;
  }
}

// An item or characteristic that ends on the region's last row or column is
// taken; one a row or a column past it, or starting before row 1, is a
// system error. What an item shows stays within its rows and columns.
TEST_F(Wm, ItemsEndAtTheRegionsEdge) {
  SysErrCapture cap(SysErrAnswer::Continue);
  WmHandle reg{};
  window(1, 1, 2, 10, &reg, ".");
  WmItem last = item(2, 6, text("ABCDE"), 5);
  EXPECT_EQ(wm_insert_itm(reg, &last, 0, 0, 0), 1);
  WmItem wide = item(1, 7, text("ABCDE"), 5);
  EXPECT_EQ(wm_insert_itm(reg, &wide, 0, 0, 0), 0);
  EXPECT_NE(cap.last().find("passes its region"), std::string::npos);
  EXPECT_EQ(wm_upd_reg(reg, {&wide, 1}, {}), 0);
  WmItem tall = item(2, 1, text("ABCDE"), 5);
  tall.rows = 2;
  EXPECT_EQ(wm_upd_itm(reg, &tall, 0, 0, 0), 0);
  WmItem above = item(0, 1, text("A"), 1);
  EXPECT_EQ(wm_insert_itm(reg, &above, 0, 0, 0), 0);
  WmItem none = item(2, 10, nullptr, 0);  // no text, no size: one cell
  none.rows = 0;
  EXPECT_EQ(wm_insert_itm(reg, &none, 0, 0, 0), 1);
  // A text longer than its item: only the item's five cells show it.
  WmItem cut = item(1, 1, text("ABCDEFGHIJ"), 10);
  cut.rows = 1;
  cut.cols = 5;
  EXPECT_EQ(wm_insert_itm(reg, &cut, 0, 0, 0), 1);
  // A characteristic running past the right edge stops at the row's end.
  WmChr c{};
  c.row = 1;
  c.col = 8;
  c.rows = 1;
  c.cols = 0x7FFFFFFF;
  c.attr = wa::kInverse;
  ASSERT_EQ(wm_upd_chr(reg, &c, 0xFFFFFFFF), 1);
  // The cell after a two-row item's text is not the item's.
  WmItem two = item(1, 6, text("1234567"), 7);
  WmWnd d;
  INIT_WND(&d, 0, 5, 1, 2, 10, 0);
  ASSERT_NE(wm_attach(&d, srf, 0), 0u);
  two.rows = 2;
  two.cols = 5;
  ASSERT_EQ(wm_insert_itm(d.region, &two, 0, 0, 0), 1);
  WmShow sb = sb_at(d.region, 2, 7);
  ASSERT_EQ(show(&sb, wmshow::kDraw), 1);
  EXPECT_EQ(term.row(1).substr(0, 10), "ABCDE.....");
  EXPECT_EQ(term.row(2).substr(0, 10), ".....ABCDE");
  EXPECT_FALSE(term.at(2, 1).vis & tmv::kReverse);
  EXPECT_EQ(sb.fld_row.get(), 1);
  sb = sb_at(d.region, 2, 8);
  ASSERT_EQ(show(&sb, wmshow::kDraw), 1);
  EXPECT_EQ(sb.fld_row.get(), 0);
  EXPECT_EQ(sb.row.get(), 2);
}

TEST_F(Wm, ScrollTypesLayRegionsOut) {
  auto make = [&](int scroll) {
    WmWnd w;
    INIT_WND(&w, 0, 1, 1, 3, 10, 0);
    w.scroll = uint8_t(scroll);
    w.reg_rows = 1;
    return wm_attach(&w, srf, 0);
  };
  auto row_of = [](WmHandle r) { return static_cast<WmRegRec*>(arena::at(r))->cur_row.get(); };
  WmHandle w1 = make(1);
  WmHandle a = wm_pos_reg(w1, 2), b = wm_pos_reg(w1, 3);
  EXPECT_EQ(row_of(a), 2);
  EXPECT_EQ(row_of(b), 3);
  WmHandle c = wm_pos_reg(w1, 4);  // scrolls: the first region leaves
  EXPECT_EQ(row_of(c), 3);
  EXPECT_EQ(row_of(b), 2);
  EXPECT_EQ(row_of(a), 1);
  // Deleting the current (middle) region moves the one below up.
  ASSERT_EQ(wm_pos_reg(w1, 2), b);
  ASSERT_EQ(wm_del_reg(w1, 2), 1);
  EXPECT_EQ(row_of(c), 2);
  EXPECT_EQ(wm_cur_reg(w1), c);
  // The last region deleted (a number before the current one deletes it
  // still): the one above becomes current.
  ASSERT_EQ(wm_del_reg(w1, 1), 1);
  EXPECT_EQ(wm_cur_reg(w1), a);

  WmHandle w3 = make(3);
  wm_pos_reg(w3, 3);
  uint32_t status = 0;
  EXPECT_EQ(wm_pos_reg(w3, 4, &status), 0u);
  EXPECT_EQ(status, kWmNoFit);

  WmHandle w2 = make(2);
  wm_pos_reg(w2, 3);
  WmHandle p = wm_pos_reg(w2, 4);  // a new page
  EXPECT_EQ(row_of(p), 1);

  WmHandle w4 = make(4);
  WmHandle first = wm_cur_reg(w4);
  EXPECT_EQ(row_of(first), 3);
  WmHandle second = wm_pos_reg(w4, 2);
  EXPECT_EQ(row_of(second), 3);
  EXPECT_EQ(row_of(first), 2);
  wm_pos_reg(w4, 3);
  EXPECT_EQ(row_of(first), 1);  // the window is full
  int regs = 0, after = 0;
  wm_counts(nullptr, nullptr, &regs);
  WmHandle fourth = wm_pos_reg(w4, 4);  // one more: the oldest leaves
  wm_counts(nullptr, nullptr, &after);
  EXPECT_EQ(after, regs);
  EXPECT_EQ(row_of(fourth), 3);
  EXPECT_EQ(row_of(second), 1);

  WmHandle w0 = make(0);
  EXPECT_EQ(wm_pos_reg(w0, 2, &status), 0u);
  WmHandle r0 = wm_cur_reg(w0);
  EXPECT_EQ(wm_pos_reg(w0, 1), r0);
  wm_write_reg(r0, "zzz");
  EXPECT_EQ(wm_del_reg(w0, 1), 1);  // one fixed region: cleared
  EXPECT_EQ(wm_cur_reg(w0), r0);

  // A region as tall as its window is taken, one row taller is not; nor is
  // a scroll type past 4.
  WmWnd t;
  INIT_WND(&t, 0, 1, 1, 3, 10, 0);
  t.scroll = 4;
  t.reg_rows = 4;
  EXPECT_EQ(wm_attach(&t, srf, 0), 0u);
  EXPECT_EQ(t.status.get(), kWmNoFit);
  t.reg_rows = 3;
  EXPECT_NE(wm_attach(&t, srf, 0), 0u);
  SysErrCapture cap(SysErrAnswer::Continue);
  t.scroll = 5;
  EXPECT_EQ(wm_attach(&t, srf, 0), 0u);
  EXPECT_NE(cap.last().find("bad scroll type"), std::string::npos);
}

// The frame processor, the input executor and the debugger keep the region
// that WM__ATTACH gave and hand it back to detach, reattach, activate and
// delete rows: it names its window.
TEST_F(Wm, ARegionHandleNamesItsWindow) {
  WmWnd d;
  INIT_WND(&d, 0, 2, 2, 3, 10, 0);
  d.scroll = 1;
  d.reg_rows = 1;
  WmHandle reg = WM__ATTACH(&d, srf, 0);
  ASSERT_NE(reg, 0u);
  wm_write_reg(reg, "ROW ONE");
  auto* wrec = static_cast<WmWndRec*>(arena::at(d.window));
  ASSERT_EQ(wm_actv(reg), 1);
  EXPECT_EQ(wrec->active.get(), 1);
  ASSERT_EQ(wm_deactv(reg), 1);
  EXPECT_EQ(wrec->active.get(), 0);
  EXPECT_EQ(wm_cur_reg(reg), reg);
  WmHandle second = wm_pos_reg(reg, 2);
  ASSERT_NE(second, 0u);
  WmChr c;
  CHR_PREP(&c);
  EXPECT_EQ(wm_upd_chr(reg, &c, 0xFFFFFFFF), 0);  // not the current region
  wm_write_reg(second, "ROW TWO");
  WmShow sb{};
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(3).substr(1, 7), "ROW TWO");
  // Rows deleted from the current one on; the window's first row stays.
  ASSERT_EQ(wm_del_reg(second, 2), 1);
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(3).substr(1, 7), "       ");
  EXPECT_EQ(term.row(2).substr(1, 7), "ROW ONE");
  // Into limbo and back by the region.
  ASSERT_EQ(wm_detach(reg, 0), 1);
  EXPECT_EQ(wrec->limbo.get(), 1);
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(2).substr(1, 7), "       ");
  WmPlace at{5, 30};
  ASSERT_EQ(wm_reattach(reg, srf, &at), 1);
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(5).substr(29, 7), "ROW ONE");
  // Destroyed by the region: the window goes, and the region with it.
  int windows = 0, regions = 0, w0 = 0, r0 = 0;
  wm_counts(nullptr, &w0, &r0);
  ASSERT_EQ(wm_detach(reg, 1), 1);
  wm_counts(nullptr, &windows, &regions);
  EXPECT_EQ(windows, w0 - 1);
  EXPECT_EQ(regions, r0 - 1);
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(wm_actv(reg), 0);
  EXPECT_NE(cap.last().find("bad window handle"), std::string::npos);
}

// REFRESH and the frame processor hand wm_show a message file made by
// la_create_fi: its messages show in key order, and the caller's handle
// keeps its own record buffer.
TEST_F(Wm, MessagesOfAMessageFileShowInKeyOrder) {
  FmArb* q = la_create_fi(79, 0);
  ASSERT_NE(q, nullptr);
  auto* mine = static_cast<uint8_t*>(MM_ALLOC(pool, 87));
  auto add = [&](uint32_t key, uint16_t severity, const std::string& text) {
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, 87));
    LaQueueRec& r = rec::view<LaQueueRec>(buf);
    r.key = key;
    r.severity = severity;
    r.length = uint16_t(text.size());
    std::memcpy(buf + 8, text.data(), text.size());
    q->rec.set(buf);
    ASSERT_EQ(la_add_msg(3, q, 0u, key), 1);
  };
  add(2, 0, "Second by key");
  add(1, 2, "ERROR - First by key");
  q->rec.set(mine);
  WmHandle h = arena::offset_of(q);
  std::vector<std::string> seen;
  std::vector<uint16_t> vis;
  term.on_wait = [&] {
    seen.push_back(term.row(24));
    vis.push_back(term.at(24, 1).vis);
  };
  term.key("\x1b[24~");
  term.key("\x1bOR");
  WmShow sb{};
  ASSERT_EQ(show(&sb, wmshow::kDraw | wmshow::kWait, h), 1);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].substr(0, 20), "ERROR - First by key");
  EXPECT_NE(seen[0].find("(+1)"), std::string::npos);
  EXPECT_TRUE(vis[0] & tmv::kReverse);  // an error stands out
  EXPECT_EQ(seen[1].substr(0, 13), "Second by key");
  EXPECT_EQ(q->rec.get(), mine);
  // The display without waiting (flags 2, no cursor request) shows them again.
  ASSERT_EQ(show(&sb, wmshow::kDraw, h), 1);
  EXPECT_EQ(sb.option.get(), opt::kNext);
  EXPECT_EQ(term.row(24).substr(0, 20), "ERROR - First by key");
  // A handle that names nothing is a system error, never a crash.
  SysErrCapture cap(SysErrAnswer::Continue);
  ASSERT_EQ(show(&sb, wmshow::kDraw, h + 4), 1);
  EXPECT_NE(cap.last().find("bad message queue"), std::string::npos);
  FM_CLOSE(q, FM_CL_SCRATCH);
}

// A terminal made smaller: the cursor stays in the field it was in (the
// window moved), typing goes on there, and the status line stays on the row
// above the message line, cut to the new width.
TEST_F(Wm, SmallerTerminalKeepsTheCursorInItsFieldAndTheStatusLine) {
  WmHandle reg{};
  WmHandle w = window(0, 0, 5, 40, &reg, ".");
  char* t = text("HELLO     ");
  input_field(reg, 3, 5, t, 10);
  wm_actv(w);
  status_line(srf);
  term.next_rows = 12;
  term.next_cols = 50;
  term.script.push_back(kTmResize);
  term.type("x");
  term.key(kEnterKey);
  WmShow sb = sb_at(reg, 3, 7);
  ASSERT_EQ(show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack), 1);
  EXPECT_EQ(std::string(t, 10), "HExLO     ");
  EXPECT_EQ(sb.row.get(), 3);
  EXPECT_EQ(sb.col.get(), 8);
  // 10 rows of area: the window at row (10 - 5) / 2 + 1 = 3, column 6.
  EXPECT_EQ(term.row(5).substr(9, 10), "HExLO     ");
  EXPECT_EQ(sb.scr_row.get(), 5);
  EXPECT_EQ(sb.scr_col.get(), 13);
  EXPECT_EQ(term.row(11).substr(0, 11), "STATUS LINE");
}

TEST_F(Wm, OneItemChangeSendsFewCells) {
  WmHandle reg{};
  window(1, 1, 22, 80, &reg);
  std::vector<WmItem> items;
  for (int r = 1; r <= 22; ++r)
    for (int c = 0; c < 4; ++c) {
      WmItem it = item(r, 1 + c * 20, text("value " + std::to_string(r * 10 + c) + "          "), 18);
      wm_insert_itm(reg, &it, wa::kBright, 0xFFFFFFFF, 0);
      items.push_back(it);
    }
  WmShow sb{};
  show(&sb, wmshow::kDraw);
  uint64_t before = term.puts;
  std::memcpy(items[5].text.get(), "changed", 7);
  wm_upd_itm(reg, &items[5], 0, 0, 0);
  show(&sb, wmshow::kDraw);
  EXPECT_LE(term.puts - before, 7u);
  EXPECT_EQ(term.row(2).substr(20, 7), "changed");
}

}  // namespace

namespace {

class WmMore : public Wm {};

TEST_F(WmMore, SuspendHandsTheScreenBackAndResumeRepaints) {
  WmHandle reg{};
  window(2, 2, 2, 10, &reg, "S");
  WmShow sb{};
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(com.screen_up.get(), 1);
  wm_suspend();
  EXPECT_EQ(com.screen_up.get(), 0);
  {
    // While the shell has the terminal, system errors go the console way
    // (here: the test's responder), and the message line waits.
    SysErrCapture cap(SysErrAnswer::Continue);
    std::snprintf(ut_dbg, sizeof ut_dbg, "during a shell command");
    os_sys_err("TEST.C", 1);
    EXPECT_EQ(cap.count(), 1u);
  }
  term.cells.assign(term.cells.size(), TmCell{});  // the shell wrote over the screen
  int full = term.full_flushes;
  wm_resume();
  EXPECT_EQ(com.screen_up.get(), 1);
  EXPECT_EQ(term.full_flushes, full + 1);
  EXPECT_EQ(term.row(2).substr(1, 10), std::string(10, 'S'));
}

TEST_F(WmMore, MessageQueuesBelongToTheirScope) {
  WmHandle q = 0;
  mark(1, [&] {
    q = wm_msgq_create(com.depth);
    wm_msgq_add(q, 7, 0, "inner");
    EXPECT_EQ(wm_msgq_count(q), 1);
  });
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(wm_msgq_add(q, 1, 0, "late"), 0);
  EXPECT_NE(cap.last().find("bad message queue"), std::string::npos);
  EXPECT_EQ(wm_msgq_create(5), 0u);  // deeper than the scopes that exist
  EXPECT_NE(cap.last().find("bad scope"), std::string::npos);
}

TEST_F(WmMore, ConversionHookFillsTextsThatNeedIt) {
  wm_set_itoe([](WmItem* it) {
    std::memcpy(it->text.get(), "12.50", 5);
    return 1;
  });
  WmHandle reg{};
  window(1, 1, 1, 20, &reg);
  WmItem it = item(1, 1, text("     "), 5);
  it.needs_cnv = 1;
  wm_insert_itm(reg, &it, 0, 0, 0);
  wm_set_itoe(nullptr);
  WmShow sb{};
  show(&sb, wmshow::kDraw);
  EXPECT_EQ(term.row(1).substr(0, 5), "12.50");
}

// Started deferred, the terminal is taken by the first show, and the
// windows made before it are laid out on its size (a window centred on
// 24 x 80 is centred on 30 x 100). Started with no terminal, a show that
// only draws goes nowhere; one that waits for a key ends the engine:
// every scope up to the outermost ends with 4, and the exit status asked
// for is kExitNoTerminal.
TEST(WmStart, TheTerminalIsTakenAtTheFirstShowOrNever) {
  bi_init_com();
  Keymap km;
  std::string err;
  ASSERT_TRUE(km_compile_source(kTestKeymap, ".", "test.km", "xterm", &km, &err)) << err;
  MemTerm term;
  term.rows = 30;
  term.cols = 100;
  ASSERT_EQ(wm_start_deferred(&term, &km), 1);
  uint32_t srf = 0;
  ASSERT_EQ(wm_create_srf(&srf, 0), 1);
  WmWnd w;
  INIT_WND(&w, 0, 0, 0, 4, 20, 0);
  ASSERT_NE(wm_attach(&w, srf, 0), 0u);
  wm_write_reg(w.region, std::string(80, 'x'));
  EXPECT_FALSE(term.opened);
  EXPECT_FALSE(wm_up());
  EXPECT_EQ(com.screen_up, 0);
  WmShow sb;
  std::memset(static_cast<void*>(&sb), 0, sizeof sb);
  sb.flags = wmshow::kDraw;
  EXPECT_EQ(wm_show(&sb, 0), 1);
  EXPECT_TRUE(term.opened);
  EXPECT_EQ(com.screen_up, 1);
  EXPECT_EQ(term.row((30 - 2 - 4) / 2 + 1), std::string(40, ' ') + std::string(20, 'x') + std::string(40, ' '));
  wm_end();
  EXPECT_FALSE(term.opened);

  ASSERT_EQ(wm_start_no_terminal(), 1);
  EXPECT_TRUE(wm_no_terminal());
  ASSERT_EQ(wm_create_srf(&srf, 0), 1);
  ASSERT_NE(wm_attach(&w, srf, 0), 0u);
  std::memset(static_cast<void*>(&sb), 0, sizeof sb);
  sb.flags = wmshow::kDraw;
  EXPECT_EQ(wm_show(&sb, 0), 1);
  EXPECT_EQ(sb.option, opt::kNext);
  EXPECT_EQ(com.screen_up, 0);
  size_t pools = mm_pool_count();
  int inner = 0;
  int outer = ::mark(1, [&] {
    mm_create_pool(" OUTER", com.depth, 0);
    inner = ::mark(5, [&] {
      mm_create_pool(" INNER", com.depth, 0);
      sb.flags = wmshow::kDraw | wmshow::kWait;
      wm_show(&sb, 0);
      ADD_FAILURE() << "a wait with no terminal returned";
    });
  });
  EXPECT_EQ(outer, 4);
  EXPECT_EQ(inner, 0);
  EXPECT_EQ(mm_pool_count(), pools);
  EXPECT_EQ(ss_end_status(), kExitNoTerminal);
  ss_stop_clear();
  wm_end();
}

}  // namespace

// While a screen is up, a wait for another process's lock ends when the user
// presses CANCEL; a key typed before it reaches the next input wait.
TEST_F(Wm, LockWaitEndsOnCancelAndKeepsEarlierKeys) {
  char path[] = "/tmp/quvo_lockwaitXXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int f = ::open(path, O_RDWR);
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    if (f < 0 || ::fcntl(f, F_SETLK, &fl) != 0) ::_exit(1);
    if (::write(ready[1], "x", 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  term.type("A");
  term.key(kEsc);
  EXPECT_EQ(uio_lock(fd, 0, UioLock::Write, kUioWaitForever, "the test's lock"), ECANCELED);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(fd);
  ::close(ready[0]);
  ::close(ready[1]);
  ::unlink(path);

  WmHandle reg{};
  WmHandle w = window(1, 1, 1, 20, &reg);
  char* buf = text("          ");
  WmItem it = item(1, 1, buf, 10);
  wm_insert_itm(reg, &it, wa::kInput, 0xFFFFFFFF, 0);
  wm_actv(w);
  term.key(kEnterKey);
  WmShow sb = sb_at(reg, 1, 1);
  show(&sb, wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack);
  EXPECT_EQ(sb.option.get(), opt::kEnter);
  EXPECT_EQ(buf[0], 'A');
}

// A colour byte from two numbers: each 0-8 (the limits and one past them),
// anything else the terminal's own colour.
TEST(WmColour, ForegroundAndBackgroundFromNumbers) {
  EXPECT_EQ(wm_colour(0, 0), 0x00);
  EXPECT_EQ(wm_colour(8, 1), 0x81);
  EXPECT_EQ(wm_colour(2, 8), 0x28);
  EXPECT_EQ(wm_colour(9, 3), 0x03);
  EXPECT_EQ(wm_colour(-1, 9), 0x00);
  EXPECT_EQ(wm_colour(4, 0x7FFFFFFF), 0x40);
}
