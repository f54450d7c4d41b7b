// PRINT and TOTAL from statement text in an Output process's frame: the
// region goes into the report (21 rows print, 22 are a run-time error) and
// TOTAL adds into the accumulator's bucket of the current level.
#include <gtest/gtest.h>

#include "executors/fp.h"
#include "executors/op.h"
#include "executors/rm_fixture.h"
#include "language/scfam_fixture.h"
#include "support/dict_fixtures.h"

namespace {

using namespace scfamtest;

// What the Output executor's double leaves: the print file's name, the
// buckets of the process's two accumulators and the completion code.
std::string g_file;
uint8_t g_buckets[2][kOpBucket];
int g_code = 0;

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
  g_code = mark(5, [&] { fp_exec(pcb, 1); }, nullptr);
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

}  // namespace
