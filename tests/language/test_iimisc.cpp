// PRINT with a report manager double (and the "no report" stand-in),
// VERIFY's texts and failure modes, and the COPY markers.
#include <string>

#include "foundation/la.h"
#include "language/ibfi.h"
#include "language/ibmisc.h"
#include "language/ii2_fix.h"

namespace {

struct Printed {
  int first, rows, width;
  std::string text;
};
std::vector<Printed> g_printed;
int g_pages = 0;

class IiMisc : public ii2::Fix {
 protected:
  uint32_t it = 0;
  uint8_t* ft = nullptr;
  void SetUp() override {
    Fix::SetUp();
    ft = field(600, &it);
    g_printed.clear();
    g_pages = 0;
    ii_report_svc_reset();
    watch_errors();
  }
  void TearDown() override {
    ii_report_svc_reset();
    Fix::TearDown();
  }
  int print(uint16_t first, uint16_t rows, uint16_t width, uint32_t len) {
    restart();
    bld_ira(&m.code, it, 1);
    bld_ld_len(&m.code, 2, first);
    bld_ld_len(&m.code, 3, rows);
    bld_ld_len(&m.code, 4, width);
    bld_print(&m.code, len);
    flag(1);
    end();
    ii2::flags().clear();
    return run(ii2::cref(1, 0));
  }
  uint8_t* status() { return reinterpret_cast<uint8_t*>(m.status); }
};

TEST_F(IiMisc, PrintGoesToTheReportManager) {
  std::memcpy(ft, "HELLO", 5);
  // A Menu process: nothing happens.
  m.pcb->invoc.type = 1;
  EXPECT_EQ(print(1, 1, 10, 5), 1);
  EXPECT_EQ(ii2::flags(), std::vector<uint32_t>{1});
  // An Output process without a report: the stand-in answers "no report".
  m.pcb->invoc.type = 3;
  EXPECT_EQ(print(1, 1, 10, 5), 300540);
  EXPECT_EQ(last_err(), 300170u);
  // A report manager double.
  ii_report_svc.has_report = [](Pcb*) { return true; };
  ii_report_svc.print_region = [](Pcb*, const IiRegion* r) {
    g_printed.push_back({r->first, r->rows, r->width, std::string(r->text, size_t(r->rows * r->width))});
    return 1;
  };
  ii_report_svc.finish_page = [](Pcb*) { ++g_pages; };
  EXPECT_EQ(print(2, 21, 3, 5), 1);
  ASSERT_EQ(g_printed.size(), 1u);
  EXPECT_EQ(g_printed[0].rows, 21);
  EXPECT_EQ(g_printed[0].text.substr(0, 6), "HELLO ");
  EXPECT_EQ(g_printed[0].text.size(), 63u);
  EXPECT_EQ(print(2, 22, 3, 5), 300540);  // 22 rows
  EXPECT_EQ(last_err(), 300170u);
  EXPECT_EQ(print(0, 1, 3, 5), 300540);
  EXPECT_EQ(print(1, 1, 256, 5), 300540);
  // The text is cut to rows x width; new page before and after.
  m.pcb->invoc.type = 9;
  status()[56] = '1';
  status()[55] = '1';
  EXPECT_EQ(print(1, 1, 3, 5), 1);
  EXPECT_EQ(g_printed.back().text, "HEL");
  EXPECT_EQ(g_pages, 2);
  // A failing region write is a system error.
  SysErrCapture cap(SysErrAnswer::Continue);
  ii_report_svc.print_region = [](Pcb*, const IiRegion*) { return 0; };
  EXPECT_EQ(print(1, 1, 3, 5), 1);
  EXPECT_TRUE(ii2::flags().empty());
  EXPECT_NE(cap.last().find("rm_exec_reg() failed"), std::string::npos);
}

TEST_F(IiMisc, VerifyTextsAndFailureModes) {
  auto vfy = [&](IbVfyField f, uint8_t mode, bool conds, bool level_true) {
    restart();
    if (conds) set_tf(10, level_true);  // the generated tests before it: level 1
    bld_ira(&m.code, it, 1);
    bld_vfy(&m.code, f, mode, "ABC", conds, 10);
    end();
    uint32_t mask = 0;
    int rc = run(ii2::cref(1, 0), &mask);
    return std::make_pair(rc, rc == 1 ? (mask >> 8) & 3 : 0u);
  };
  IbVfyField pk{8, 3, 3, 2, "PRICE", ""};
  uint8_t good[3] = {0x12, 0x34, 0x5C};
  std::memcpy(ft, good, 3);
  EXPECT_EQ(vfy(pk, 0, false, false), std::make_pair(1, 1u));
  // A digit nibble of 10: false, mode 0 adds no message.
  uint8_t bad[3] = {0x1A, 0x34, 0x5C};
  std::memcpy(ft, bad, 3);
  m.status->warnings = 0;
  EXPECT_EQ(vfy(pk, 0, false, false), std::make_pair(1, 2u));
  EXPECT_EQ(la_cur_sys_err(), "PRICE contains invalid packed decimal data");
  EXPECT_EQ(m.status->warnings.get(), 0u);
  // An even digit count needs a first nibble of 0.
  uint8_t odd[3] = {0x12, 0x34, 0x5C};
  std::memcpy(ft, odd, 3);
  IbVfyField pk4{8, 3, 2, 2, "PRICE", ""};
  EXPECT_EQ(vfy(pk4, 0, false, false), std::make_pair(1, 2u));
  // Mode 1: a warning; mode 2: an error; mode 3: OPTION 278, code 3.
  std::memcpy(ft, bad, 3);
  EXPECT_EQ(vfy(pk, 1, false, false), std::make_pair(1, 2u));
  EXPECT_EQ(m.status->warnings.get(), 1u);
  EXPECT_EQ(vfy(pk, 2, false, false), std::make_pair(1, 2u));
  EXPECT_EQ(m.status->errors.get(), 1u);
  EXPECT_EQ(vfy(pk, 3, false, false).first, 3);
  EXPECT_EQ(m.status->option.get(), 278);
  // Logic.
  IbVfyField lg{11, 1, 0, 0, "DONE", ""};
  ft[0] = 'x';
  EXPECT_EQ(vfy(lg, 0, false, false), std::make_pair(1, 2u));
  EXPECT_EQ(la_cur_sys_err(), "DONE must contain 0, 1, or ' ' (78)");
  ft[0] = ' ';
  EXPECT_EQ(vfy(lg, 0, false, false), std::make_pair(1, 1u));
  // Dictionary conditions: the level the generated tests left.
  EXPECT_EQ(vfy(lg, 0, true, true), std::make_pair(1, 1u));
  EXPECT_EQ(vfy(lg, 0, true, false), std::make_pair(1, 2u));
  EXPECT_EQ(la_cur_sys_err(), "DONE does not meet data dictionary constraints");
  // Dates: under the field's mask; a blank (null) date is valid.
  IbVfyField dt{4, 8, 0, 0, "DUE", ""};
  dt.date_mask = "08070605";
  std::memcpy(ft, "20240229", 8);
  EXPECT_EQ(vfy(dt, 0, false, false), std::make_pair(1, 1u));
  std::memcpy(ft, "20230229", 8);
  EXPECT_EQ(vfy(dt, 0, false, false), std::make_pair(1, 2u));
  EXPECT_EQ(la_cur_sys_err(), "DUE contains an invalid date");
  std::memcpy(ft, "        ", 8);
  EXPECT_EQ(vfy(dt, 0, false, false), std::make_pair(1, 1u));
  // A mode above 3 is refused by the builder (the compiler's 102630).
  EXPECT_EQ(bld_vfy(&m.code, lg, 4, "ABC", false, 10), nullptr);
}

TEST_F(IiMisc, CopyMarkersOnlyAdvance) {
  uint8_t* c = bld_copy(&m.code);
  flag(1);
  bld_end_copy(&m.code);
  rec::view<IbCopy>(c).end = here();
  bld_ghost(&m.code);
  bld_nop(&m.code);
  flag(2);
  end();
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_EQ(ii2::flags(), (std::vector<uint32_t>{1, 2}));
}

// TOTAL: the report manager double keeps three accumulators whose current
// bucket is 9 bytes into each.
uint8_t g_acc[3][28];

TEST_F(IiMisc, TotalAddsIntoTheReportManagersBucket) {
  std::memset(g_acc, 0, sizeof g_acc);
  ii_report_svc.accumulator = [](Pcb*, uint32_t n) { return n < 3 ? g_acc[n] : nullptr; };
  ii_report_svc.bucket = [](Pcb*, uint8_t* acc) { return acc + 9; };
  uint8_t* bucket = g_acc[1] + 9;
  uint8_t start[9] = {0, 0, 0, 0, 0, 0, 0x01, 0x0C, 1};  // 1.0
  std::memcpy(bucket, start, 9);
  uint8_t amount[3] = {0x02, 0x50, 0x0C};  // 25.00 at scale 2
  std::memcpy(ft, amount, 3);
  auto total = [&](char op) {
    restart();
    bld_ira_sum(&m.code, 1, 1);
    bld_ira_bucket(&m.code, 1);
    bld_ira(&m.code, it, 2);
    IbNum t{12, 9, bucket[8], uint8_t(15 - bucket[8]), true}, s{8, 3, 2, 3, true};
    EXPECT_NE(bld_compute(&m.code, t, s, op), nullptr);
    end();
    return run(ii2::cref(1, 0));
  };
  ASSERT_EQ(total('+'), 1);
  EXPECT_EQ(bucket[5], 0x02);
  EXPECT_EQ(bucket[6], 0x60);  // 26.00 at scale 2
  EXPECT_EQ(bucket[8], 2);
  ASSERT_EQ(total('*'), 1);   // 26.00 x 25.00: the product's zero decimals dropped
  EXPECT_EQ(bucket[6], 0x65);
  EXPECT_EQ(bucket[7], 0x0C);
  EXPECT_EQ(bucket[8], 0);
  // Without a report manager the accumulator is missing: a system error.
  SysErrCapture cap(SysErrAnswer::Continue);
  ii_report_svc_reset();
  EXPECT_EQ(total('+'), 1);
  EXPECT_NE(cap.last().find("no accumulator"), std::string::npos);
}

}  // namespace

// The SCAN test: the 8 bytes of the two registers equal go on into the
// return block; a difference in the last byte jumps past it.
TEST_F(IiMisc, ScanTestSkipsTheReturnBlockOfAnotherFile) {
  uint32_t ia = 0, ib = 0;
  uint8_t* a = field(8, &ia);
  uint8_t* b = field(8, &ib);
  for (bool same : {true, false}) {
    std::memcpy(a, "FITACCT ", 8);
    std::memcpy(b, same ? "FITACCT " : "FITACCU ", 8);
    restart();
    bld_ira(&m.code, ia, 1);
    bld_ira(&m.code, ib, 2);
    uint8_t* t = bld_scan_tst(&m.code, 8);
    ASSERT_NE(t, nullptr);
    flag(1);
    rec::view<IbFiScanTst>(t).target = here();
    flag(2);
    end();
    ii2::flags().clear();
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    std::vector<uint32_t> want = same ? std::vector<uint32_t>{1, 2} : std::vector<uint32_t>{2};
    EXPECT_EQ(ii2::flags(), want) << same;
  }
}
