// Page flow of the Output executor (op_prt_buf, prt_pg_end, op_finish_pg)
// over a report of the report manager: headings and footings at their
// places, what does not fit on a whole page, the endless page with a
// footing, page numbers past 99,999.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "executors/fp.h"
#include "executors/op.h"
#include "executors/rm_fixture.h"
#include "language/ii.h"
#include "support/syserr.h"

namespace {

using rmt::ImgSpec;

// The frames the page flow runs: 1 the page heading, 2 the page footing.
std::function<void(uint32_t)> g_frame;
int g_runs = 0;

class RmFlow : public rmt::Report {
 protected:
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  Pcb* pcb = nullptr;
  PdStatus* st = nullptr;
  int head = 0, foot = 0;

  void TearDown() override {
    op_run_frame = fp_exec;
    g_frame = nullptr;
    Report::TearDown();
    mm_destroy_pool(pool);
  }
  // A report owner with a page heading of one line and, when foot_lines is
  // not 0, a page footing of that many lines.
  void start(int page_len, int foot_lines, int width = 40) {
    open(width, page_len);
    pcb = static_cast<Pcb*>(MM_ALLOC(pool, sizeof(Pcb)));
    auto* areas = static_cast<Ref<uint8_t>*>(MM_ALLOC(pool, 14 * sizeof(Ref<uint8_t>)));
    st = static_cast<PdStatus*>(MM_ALLOC(pool, sizeof(PdStatus)));
    areas[kPcbStatusArea] = Ref<uint8_t>::of(reinterpret_cast<uint8_t*>(st));
    pcb->area_addr = Ref<Ref<uint8_t>>::of(areas);
    pcb->report = Ref<void>::of(r);
    op_pcb(pcb).owner = Ref<Pcb>::of(pcb);
    op_pcb(pcb).pgh_frm = 1;
    op_pcb(pcb).pgf_frm = foot_lines ? 2 : 0;
    r->foot = uint16_t(foot_lines);
    auto* s = static_cast<OpStd*>(MM_ALLOC(r->pool, sizeof(OpStd)));
    std::memset(static_cast<void*>(s), ' ', sizeof *s);
    s->page = 0;
    r->std_rec = Ref<uint8_t>::of(reinterpret_cast<uint8_t*>(s));
    head = img({{"HEAD"}});
    ImgSpec f;
    for (int i = 1; i <= foot_lines; ++i) f.rows.push_back("FOOT" + std::to_string(i));
    foot = foot_lines ? img(f) : 0;
    g_runs = 0;
    g_frame = [this](uint32_t frame) {
      if (++g_runs > 2000) throw std::runtime_error("the page flow does not end");
      write(frame == 1 ? head : foot, 0);
    };
    op_run_frame = [](Pcb*, uint32_t frame) {
      g_frame(frame);
      return 22;
    };
  }
  // Writes an image into the body's page buffer and prints it.
  void detail(int n) {
    ASSERT_EQ(write(n), 1);
    ASSERT_EQ(op_prt_buf(pcb, 1, 0), 1);
  }
  // The report's end: the page buffer, then the last page's end.
  rmt::Pages end() {
    op_prt_buf(pcb, 1, 0);
    prt_pg_end(pcb);
    return finish();
  }
};

TEST_F(RmFlow, HeadingsAndFootingsAtTheirPlaces) {
  start(10, 2);
  for (int i = 1; i <= 9; ++i) detail(img({{"D" + std::to_string(i)}}));
  EXPECT_EQ(st->page_no.get(), 2u);
  rmt::Pages p = end();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0], (std::vector<std::string>{"HEAD", "D1", "D2", "D3", "D4", "D5", "D6", "D7", "FOOT1", "FOOT2"}));
  EXPECT_EQ(p[1], (std::vector<std::string>{"HEAD", "D8", "D9", "", "", "", "", "", "FOOT1", "FOOT2"}));
}

// An endless page ends with its footing where the page is, on the same page.
TEST_F(RmFlow, TheEndlessPagePutsItsFootingWhereThePageIs) {
  SysErrCapture cap(SysErrAnswer::Continue);
  start(0, 2);
  for (int i = 1; i <= 30; ++i) detail(img({{"D" + std::to_string(i)}}));
  // 255 blank lines after an image: the next line, printed with it, is 256
  // lines further.
  ImgSpec gap{{"GAP"}};
  gap.after = 255;
  ASSERT_EQ(write(img(gap)), 1);
  detail(img({{"AFTER"}}));
  rmt::Pages p = end();
  EXPECT_EQ(cap.count(), 0u) << cap.last();
  ASSERT_EQ(p.size(), 1u);
  ASSERT_EQ(p[0].size(), 290u);
  EXPECT_EQ(p[0][0], "HEAD");
  EXPECT_EQ(p[0][30], "D30");
  EXPECT_EQ(p[0][31], "GAP");
  EXPECT_EQ(p[0][287], "AFTER");
  EXPECT_EQ(p[0][289], "FOOT2");
}

// 300 blank lines waiting before a line on 60-line pages fill five pages
// below their headings; the line follows on the sixth.
TEST_F(RmFlow, BlankLinesTallerThanThePageSplitOverPages) {
  start(60, 0);
  int line = img({{"END"}});
  rm_buf(r, 0)->pending = 300;
  ASSERT_NO_THROW(detail(line));
  rmt::Pages p = end();
  ASSERT_EQ(p.size(), 6u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(p[size_t(i)][0], "HEAD") << i;
  ASSERT_EQ(p[5].size(), 7u);  // 300 = 5 x 59, then 5 more
  EXPECT_EQ(p[5][6], "END");
}

// A 70-line group (49 blank lines before 21 rows) on 60-line pages prints
// split on the pages where no body line has printed, and the report ends.
TEST_F(RmFlow, AGroupTallerThanThePagePrintsSplit) {
  start(60, 0);
  detail(img({{"FIRST"}}));
  ImgSpec tall;
  for (int i = 1; i <= 21; ++i) tall.rows.push_back("R" + std::to_string(i));
  tall.before = 49;
  int t = img(tall);
  ASSERT_NO_THROW(detail(t));
  detail(img({{"LAST"}}));
  rmt::Pages p = end();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0], (std::vector<std::string>{"HEAD", "FIRST"}));
  // Page 2: the heading, 49 blank lines, R1 .. R10; page 3: R11 .. R21.
  ASSERT_EQ(p[1].size(), 60u);
  EXPECT_EQ(p[1][50], "R1");
  EXPECT_EQ(p[1][59], "R10");
  EXPECT_EQ(p[2][1], "R11");
  EXPECT_EQ(p[2][11], "R21");
  EXPECT_EQ(p[2][12], "LAST");
}

// The page number of the standard heading ends at the right edge, also
// past 99,999, and never runs into the next line.
TEST_F(RmFlow, PageNumbersPast99999EndAtTheRightEdge) {
  start(10, 0, 80);
  OpStd* s = reinterpret_cast<OpStd*>(r->std_rec.get());
  s->rebuild = '0';
  r->page = 99998;
  detail(img({{"A"}}));
  EXPECT_EQ(st->page_no.get(), 99999u);
  EXPECT_EQ(std::string(s->pgh.data() + 155, 5), "99999");
  r->page_ended = 1;
  detail(img({{"B"}}));
  EXPECT_EQ(st->page_no.get(), 100000u);
  EXPECT_EQ(std::string(s->pgh.data() + 154, 6), "100000");
  EXPECT_EQ(s->pgh[160], ' ');  // line 3 untouched
  s->page = 7;
  op_std_page_no(s, 255);
  EXPECT_EQ(std::string(s->pgh.data() + 505, 5), "00007");
  EXPECT_EQ(s->pgh[510], ' ');
}

// OP_UPD_CHR, called by name, sets attribute bits over a rectangle of the
// current image's report image.
TEST_F(RmFlow, OpUpdChrByNameSetsBitsOnTheCurrentImage) {
  start(0, 0);
  op_register();
  int n = img({{"ABCDEF"}});
  auto* images = static_cast<PcbImageEnt*>(MM_ALLOC(pool, 2 * sizeof(PcbImageEnt)));
  images[1].region = uint32_t(n);
  pcb->image_tbl = Ref<PcbImageEnt>::of(images);
  pcb->run.image = 1;
  IiIntFn fn = ii_find_ifn("OP_UPD_CHR");
  ASSERT_NE(fn, nullptr);
  ASSERT_EQ(rm_exec_img(r, n), 1);
  auto* words = static_cast<uint32_t*>(MM_ALLOC(pool, 5 * sizeof(uint32_t)));
  uint32_t w[5] = {kPmBold, 1, 2, 1, 3};
  std::memcpy(words, w, sizeof w);
  uint32_t args[3] = {2, arena::offset_of(pcb), arena::offset_of(words)};
  EXPECT_EQ(fn(args), 1);
  ASSERT_EQ(rm_write_img(r, n, nullptr, 0, nullptr), 1);
  ASSERT_EQ(op_prt_buf(pcb, 1, 0), 1);
  std::string file = name;
  end();
  std::string raw = slurp(dir.sub(file));
  EXPECT_NE(raw.find("AB\bB\bBC\bC\bCD\bD\bDEF"), std::string::npos);
  ii_report_svc_reset();
}

}  // namespace
