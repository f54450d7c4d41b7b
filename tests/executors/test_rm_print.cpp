// PRINT and TOTAL from statement text in an Output process's frame: the
// region goes into the report (21 rows print, 22 are a run-time error) and
// TOTAL adds into the accumulator's bucket of the current level.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "executors/fp.h"
#include "executors/op.h"
#include "executors/opstd.h"
#include "foundation/pd.h"
#include "executors/rm_fixture.h"
#include "language/scfam_fixture.h"
#include "files/dictrec.h"
#include "process/emrec.h"
#include "process/pb.h"
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

// Range levels of an Output process: the sort breaks of its query (a grand
// total, then the fields L1 and L2) arrive as range starts and ends around
// the records, as the query stream gives them: starts 0 to 2 before the
// first record, between two records ends from 2 down to their break level
// and starts back up to 2, after the last ends from 2 down to 0. Each
// record totals 10 K + 3 (K its number) into A; a start of L1 or L2 prints
// 900001 or 900002; an end prints A's total of that level (SET TOT), rolled
// out after it, the grand total into the parent's summary.
struct Keyed {
  int k1, k2;
};
std::vector<Keyed> g_records;
bool g_np_before = false;  // L1 asks for a new page before it starts
uint8_t g_parent_bucket[kOpBucket];

void feed(Pcb* pcb, int from, int to, uint32_t status, OpRngPass* pass) {
  if (status == 200370)
    for (int l = from; l >= to; --l) op_rng_event(pcb, status, l, pass);
  else
    for (int l = from; l <= to; ++l) op_rng_event(pcb, status, l, pass);
}

void run_ranges(Pcb* pcb, RmRpt* r) {
  auto* t = static_cast<PbBreakEnt*>(MM_ALLOC(r->pool, 3 * sizeof(PbBreakEnt)));
  std::memset(static_cast<void*>(t), ' ', 3 * sizeof(PbBreakEnt));
  for (int l = 0; l < 3; ++l) {
    t[l].levels = uint16_t(l ? 1 : 0);
    std::memset(t[l].flags, 0, sizeof t[l].flags);
    t[l].flags[1] = t[l].flags[2] = l ? 1 : 0;
  }
  t[1].flags[0] = g_np_before ? 1 : 0;
  t[1].app.set("0LA");
  t[1].field.set("L1");
  t[2].app.set("0LA");
  t[2].field.set("L2");
  pcb->break_tbl.set(t);
  pcb->break_count = 3u;
  // A: a bucket per level, rolling into the parent's one.
  auto* sums = static_cast<OpSum*>(MM_ALLOC(r->pool, 2 * sizeof(OpSum)));
  std::memset(static_cast<void*>(sums), 0, 2 * sizeof(OpSum));
  auto* b = static_cast<OpBucket*>(MM_ALLOC(r->pool, 4 * sizeof(OpBucket)));
  for (int i = 0; i < 4; ++i) op_bucket_zero(b[i]);
  sums[0].buckets = Ref<uint8_t>::of(reinterpret_cast<uint8_t*>(b));
  sums[0].inner = 2;
  sums[1].buckets = Ref<uint8_t>::of(reinterpret_cast<uint8_t*>(b + 3));
  sums[0].roll = Ref<OpSum>::of(&sums[1]);
  op_pcb(pcb).sums = Ref<OpSum>::of(sums);
  op_pcb(pcb).sum_count = 1;
  cmpl_img(pcb);
  op_rng_setup(pcb, true);
  EmHeader* em = pcb->module.get();
  int detail = 0;
  for (uint32_t f = 1; f <= em->n_frames; ++f)
    if (fp_frame(pcb, f)->code == opfrm::kDetail) detail = int(f);
  OpRngPass pass;
  feed(pcb, 0, 2, 200620, &pass);
  for (size_t i = 0; i < g_records.size(); ++i) {
    if (i > 0) {
      int brk = g_records[i].k1 != g_records[i - 1].k1 ? 1 : g_records[i].k2 != g_records[i - 1].k2 ? 2 : 3;
      OpRngPass p;
      feed(pcb, 2, brk, 200370, &p);
      feed(pcb, brk, 2, 200620, &p);
    }
    op_rng_detail(pcb, detail);
  }
  OpRngPass last;
  feed(pcb, 2, 0, 200370, &last);
  std::memcpy(g_parent_bucket, b + 3, kOpBucket);
  pcb->break_tbl.reset();  // (in the report's pool)
  pcb->break_count = 0u;
}

TEST_F(RmPrint, RangeLevelsPrintSubheadingsAndSubtotalsRolledIntoTheParent) {
  auto print_c = line("", "CNV TEXT", {{0, "0LA"}, {4, "T20"}, {34, "0LA"}, {38, "C"}}) + print("1");
  auto frame_lines = [&](int code, int no, const std::string& lines) {
    return "statements 21 frame " + std::to_string(code) + " " + std::to_string(no) + "\n" + lines;
  };
  auto subtotal = line("", "SET TOT", {{0, "---"}, {4, "C"}, {34, "---"}, {38, "A"}}) + print_c;
  define("process 3 RNG\n" +
         frame_lines(0, 1,
                     calc("", "D", "D+1") + calc("", "B", "D*10+3") +
                         line("", "TOTAL", {{0, "0LA"}, {4, "A"}, {31, "+"}, {34, "0LA"}, {38, "B"}}) +
                         calc("", "C", "B") + print_c) +
         frame_lines(1, 1, calc("", "C", "900001") + print_c) + frame_lines(1, 2, calc("", "C", "900002") + print_c) +
         frame_lines(2, 1, subtotal) + frame_lines(2, 2, subtotal) + frame_lines(2, 3, subtotal));
  auto frame = [](int code, int no, const char* field) {
    fx::Values v{{"proc_type", "3"}, {"proc_name", "RNG"}, {"frame_code", std::to_string(code)},
                 {"frame_no", std::to_string(no)}, {"mode", "1"}};
    if (*field) {
      v.push_back({"grp_app", "0LA"});
      v.push_back({"grp_name", field});
    }
    return fx::rec("FRAME", v);
  };
  ASSERT_EQ(fx::write("FRAME", "ABC", "00",
                      {frame(0, 1, ""), frame(1, 1, "L1"), frame(1, 2, "L2"), frame(2, 1, ""), frame(2, 2, "L1"),
                       frame(2, 3, "L2")}),
            6);
  g_body = run_ranges;
  auto lines_of = [] {
    std::vector<std::string> out;
    for (const auto& page : rmt::read_pages(g_file))
      for (std::string l : page) {
        l.erase(0, l.find_first_not_of(' '));
        while (!l.empty() && l.back() == ' ') l.pop_back();
        if (!l.empty()) out.push_back(l);
      }
    return out;
  };
  // By hand: records 1-7 (values 13 ... 73) under L1/L2 keys 1/1, 1/1,
  // 1/2, 2/1, 2/1, 2/1, 3/5.
  g_records = {{1, 1}, {1, 1}, {1, 2}, {2, 1}, {2, 1}, {2, 1}, {3, 5}};
  ASSERT_EQ(run_output("RNG"), 1) << testing::PrintToString(errors("RNG"));
  EXPECT_TRUE(errors("RNG").empty()) << testing::PrintToString(errors("RNG"));
  EXPECT_EQ(lines_of(), (std::vector<std::string>{"900001", "900002", "13", "23", "36", "900002", "33", "33", "69",
                                                  "900001", "900002", "43", "53", "63", "159", "159", "900001",
                                                  "900002", "73", "73", "73", "301"}));
  bool ok = false;
  EXPECT_EQ(pd_cvb64(g_parent_bucket, 8, &ok), 301);

  // A new page before each L1 group: three pages, the first one not blank.
  g_np_before = true;
  ASSERT_EQ(run_output("RNG"), 1);
  g_np_before = false;
  std::vector<std::vector<std::string>> pages;
  for (const auto& page : rmt::read_pages(g_file)) {
    pages.emplace_back();
    for (std::string l : page)
      if (l.find_first_not_of(' ') != std::string::npos) pages.back().push_back(l.substr(l.find_first_not_of(' ')));
  }
  EXPECT_EQ(pages, (std::vector<std::vector<std::string>>{
                       {"900001", "900002", "13", "23", "36", "900002", "33", "33", "69"},
                       {"900001", "900002", "43", "53", "63", "159", "159"},
                       {"900001", "900002", "73", "73", "73", "301"}}));

  // Many records under random keys: every subtotal and the grand total
  // against sums of the records themselves, group by group.
  std::mt19937 rng(36);
  std::vector<Keyed> recs;
  for (int i = 0; i < 400; ++i) recs.push_back({int(rng() % 9), int(rng() % 4)});
  std::sort(recs.begin(), recs.end(), [](const Keyed& a, const Keyed& b) {
    return std::pair(a.k1, a.k2) < std::pair(b.k1, b.k2);
  });
  g_records = recs;
  std::map<int, std::map<int, std::vector<int64_t>>> groups;
  for (size_t i = 0; i < recs.size(); ++i) groups[recs[i].k1][recs[i].k2].push_back(int64_t(i + 1) * 10 + 3);
  std::vector<std::string> want;
  __int128 grand = 0;
  for (const auto& [k1, inner] : groups) {
    __int128 s1 = 0;
    want.push_back("900001");
    for (const auto& [k2, values] : inner) {
      __int128 s2 = 0;
      want.push_back("900002");
      for (int64_t v : values) want.push_back(std::to_string(v)), s2 += v;
      want.push_back(std::to_string(int64_t(s2)));
      s1 += s2;
    }
    want.push_back(std::to_string(int64_t(s1)));
    grand += s1;
  }
  want.push_back(std::to_string(int64_t(grand)));
  ASSERT_EQ(run_output("RNG"), 1);
  EXPECT_EQ(lines_of(), want);
  EXPECT_EQ(pd_cvb64(g_parent_bucket, 8, &ok), int64_t(grand));
}

}  // namespace
