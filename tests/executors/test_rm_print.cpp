// PRINT and TOTAL from statement text in an Output process's frame: the
// region goes into the report (21 rows print, 22 are a run-time error) and
// TOTAL adds into the accumulator's bucket of the current level.
#include <gtest/gtest.h>

#include "executors/fp.h"
#include "executors/op.h"
#include "executors/rm_fixture.h"
#include "language/scfam_fixture.h"
#include "files/dictrec.h"
#include "process/emrec.h"
#include "support/dict_fixtures.h"

namespace {

using namespace scfamtest;

// What the Output executor's double leaves: the print file's name, the
// buckets of the process's two accumulators and the completion code.
std::string g_file;
uint8_t g_buckets[2][kOpBucket];
int g_code = 0;

// What the double runs inside the report: frame 1 once, unless a test
// says otherwise.
void run_frame_one(Pcb* pcb, RmRpt*) { fp_exec(pcb, 1); }
void (*g_body)(Pcb*, RmRpt*) = run_frame_one;

// An Output executor for the test: a report of 60-line pages, two
// accumulators with one bucket each, frame 1 run once, the page ended.
void op_exec_double(Pcb* pcb) {
  char path[255];
  RmRpt* r = rm_create("PRINT TEST", "PRT", 80, path, 0);
  r->page_len = 60;
  rm_opts(r).print_mode = kPmKeep;
  rm_opts(r).print.set("1");
  pcb->report = Ref<void>::of(r);
  op_pcb(pcb).owner = Ref<Pcb>::of(pcb);
  auto* sums = static_cast<OpSum*>(MM_ALLOC(r->pool, 2 * sizeof(OpSum)));
  for (int i = 0; i < 2; ++i) {
    auto* b = static_cast<uint8_t*>(MM_ALLOC(r->pool, kOpBucket));
    std::memcpy(b, com.pd_zero.data(), 8);
    sums[i].buckets = Ref<uint8_t>::of(b);
  }
  op_pcb(pcb).sums = Ref<OpSum>::of(sums);
  op_pcb(pcb).sum_count = 2;
  g_code = mark(5, [&] { g_body(pcb, r); }, nullptr);
  op_prt_buf(pcb, 1, 0);
  prt_pg_end(pcb);
  for (int i = 0; i < 2; ++i) std::memcpy(g_buckets[i], sums[i].buckets.get(), kOpBucket);
  g_file = r->pc->name.str();
  rm_cleanup(r);
  pcb->report.reset();
  std::memset(static_cast<void*>(&op_pcb(pcb)), 0, sizeof(OpPcb));
}

class RmPrint : public ScFam {
 protected:
  TempDir dir;
  void SetUp() override {
    ScFam::SetUp();
    os_clear_run_error();
    setenv("QUVO_PRT_FI_DIR", dir.str().c_str(), 1);
    op_register();
    proc_svc.op_exec = op_exec_double;
  }
  void TearDown() override {
    g_body = run_frame_one;
    ii_report_svc_reset();
    unsetenv("QUVO_PRT_FI_DIR");
    ScFam::TearDown();
  }
  // Output processes of one frame whose Start of Frame runs the lines.
  void output(const std::vector<std::pair<const char*, std::string>>& procs) {
    std::string text;
    std::vector<fx::Rec> frames;
    for (const auto& [name, lines] : procs) {
      text += std::string("process 3 ") + name + "\nstatements 21 frame 0 1\n" + lines;
      frames.push_back(fx::frame(3, name, 1));
    }
    define(text);
    ASSERT_EQ(fx::write("FRAME", "ABC", "00", frames), int(frames.size()));
  }
  int run_output(const char* name) {
    proc_svc.ii_proc_exec = ii_proc_exec;
    if (pi_init() != 1) return -1;
    return pltest::pi_run(name, 3);
  }
  static std::string print(const char* rows) {
    return line("", "PRINT", {{0, "0LA"}, {4, "T20"}, {34, "5"}, {43, rows}, {55, "20"}});
  }
};

TEST_F(RmPrint, PrintAndTotalFromStatementText) {
  auto total = line("", "TOTAL", {{0, "0LA"}, {4, "A"}, {31, "+"}, {38, "7"}});
  output({{"PR21", calc("", "A", "4711") + line("", "CNV TEXT", {{0, "0LA"}, {4, "T20"}, {34, "0LA"}, {38, "A"}}) +
                       total + total + print("21")},
          {"PR22", print("22")}});
  EXPECT_EQ(run_output("PR21"), 1) << testing::PrintToString(errors("PR21"));
  EXPECT_TRUE(errors("PR21").empty()) << testing::PrintToString(errors("PR21"));
  EXPECT_EQ(g_code, 1);
  rmt::Pages p = rmt::read_pages(g_file);
  ASSERT_EQ(p.size(), 1u);
  ASSERT_EQ(p[0].size(), 1u);  // the text's row; 20 blank rows after it
  EXPECT_NE(p[0][0].find("4711"), std::string::npos) << p[0][0];
  EXPECT_EQ(p[0][0].substr(0, 4), "    ");  // from column 5
  // TOTAL added 7 twice into the first accumulator's bucket.
  uint8_t fourteen[8] = {0, 0, 0, 0, 0, 0, 0x01, 0x4C};
  EXPECT_EQ(std::memcmp(g_buckets[0], fourteen, 7), 0);
  EXPECT_EQ(g_buckets[0][7] & 0xF0, 0x40);

  // 22 rows: the run-time error 300170; nothing printed.
  EXPECT_EQ(os_run_error(), 0u);
  run_output("PR22");
  EXPECT_EQ(os_run_error(), 300170u);
  p = rmt::read_pages(g_file);
  EXPECT_TRUE(p[0].empty());
}


// The frames of a compiled Output process print through the frame hooks:
// the first image starts the first page (the page heading runs first), the
// frame's blank lines before come through image 1, a page end after an
// image of the heading frame does not end the page, and detail suppression
// drops the detail frame's images only.
fx::Rec row_of(int code, const char* proc, int row_no, const std::string& text) {
  fx::Rec r = fx::rec("ROW", {{"proc_type", "3"}, {"proc_name", proc}, {"frame_code", std::to_string(code)},
                              {"frame_no", "1"}, {"image_no", "1"}, {"row_no", std::to_string(row_no)}});
  r.resize(size_t(DROW_HEAD) + text.size(), ' ');
  std::memcpy(r.data() + DROW_HEAD, text.data(), text.size());
  return r;
}

bool g_suppress = false;
void run_details(Pcb* pcb, RmRpt* r) {
  EmHeader* em = pcb->module.get();
  uint32_t detail = 0;
  for (uint32_t f = 1; f <= em->n_frames; ++f) {
    EmCfrm* fr = fp_frame(pcb, f);
    if (fr->code == opfrm::kPageHead) op_pcb(pcb).pgh_frm = uint16_t(f);
    if (fr->code == opfrm::kDetail) detail = f;
  }
  if (g_suppress) rm_opts(r).no_detail.set("1");
  cmpl_img(pcb);
  for (int i = 0; i < 3; ++i) fp_exec(pcb, detail);
}

TEST_F(RmPrint, FramesOfAnOutputProcessPrintThroughTheHooks) {
  define("process 3 OF1\nstatements 1\n" + calc("", "A", "1"));
  auto frame = [](int code, fx::Values more) {
    fx::Values v{{"proc_type", "3"}, {"proc_name", "OF1"}, {"frame_code", std::to_string(code)},
                 {"frame_no", "1"}, {"mode", "1"}};
    v.insert(v.end(), more.begin(), more.end());
    return fx::rec("FRAME", v);
  };
  auto image = [](int code, fx::Values more) {
    fx::Values v{{"proc_type", "3"}, {"proc_name", "OF1"}, {"frame_code", std::to_string(code)},
                 {"frame_no", "1"}, {"image_no", "1"}, {"pos[1]", "1"}, {"pos[2]", "1"}, {"pos[3]", "1"},
                 {"pos[4]", "20"}};
    v.insert(v.end(), more.begin(), more.end());
    return fx::rec("IMAGE", v);
  };
  ASSERT_EQ(fx::write("FRAME", "ABC", "00", {frame(0, {{"b95[1]", "2"}}), frame(3, {})}), 2);
  ASSERT_EQ(fx::write("IMAGE", "ABC", "00", {image(0, {}), image(3, {{"flag99[2]", "1"}})}), 2);
  ASSERT_EQ(fx::write("ROW", "ABC", "00", {row_of(0, "OF1", 1, "DETAIL"), row_of(3, "OF1", 1, "HEADING")}), 2);
  g_body = run_details;
  EXPECT_EQ(run_output("OF1"), 1);
  rmt::Pages p = rmt::read_pages(g_file);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0], (std::vector<std::string>{"HEADING", "", "", "DETAIL", "", "", "DETAIL", "", "", "DETAIL"}));
  g_suppress = true;
  EXPECT_EQ(run_output("OF1"), 1);
  g_suppress = false;
  p = rmt::read_pages(g_file);
  for (const auto& page : p)
    for (const auto& l : page) EXPECT_EQ(l.find("DETAIL"), std::string::npos);
}

}  // namespace
