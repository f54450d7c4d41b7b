// PRINT with a report manager double (and the "no report" stand-in),
// VERIFY's texts, failure modes and token values, and the COPY markers.
#include <string>
#include <tuple>

#include "files/fmcat.h"
#include "foundation/cv.h"
#include "foundation/la.h"
#include "language/ibfi.h"
#include "language/ibmisc.h"
#include "language/ii2_fix.h"
#include "screen/wm.h"

namespace {

struct Printed {
  int first, rows, width;
  std::string text;
};
std::vector<Printed> g_printed;
int g_pages = 0, g_full = 0;

class IiMisc : public ii2::Fix {
 protected:
  uint32_t it = 0;
  uint8_t* ft = nullptr;
  void SetUp() override {
    Fix::SetUp();
    ft = field(600, &it);
    g_printed.clear();
    g_pages = 0;
    g_full = 0;
    ii_report_svc_reset();
    watch_errors();
  }
  void TearDown() override {
    ii_report_svc_reset();
    Fix::TearDown();
  }
  int print(uint16_t first, uint16_t rows, uint16_t width, uint32_t len, bool text = true) {
    restart();
    if (text) bld_ira(&m.code, it, 1);
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
  ii_report_svc.print_if_full = [](Pcb*) { ++g_full; };
  EXPECT_EQ(print(2, 21, 3, 5), 1);
  ASSERT_EQ(g_printed.size(), 1u);
  EXPECT_EQ(g_printed[0].first, 2);
  EXPECT_EQ(g_printed[0].rows, 21);
  EXPECT_EQ(g_printed[0].text.substr(0, 6), "HELLO ");
  EXPECT_EQ(g_printed[0].text.size(), 63u);
  EXPECT_EQ(g_full, 1);  // after each region the page is printed when full
  EXPECT_EQ(print(255, 1, 255, 5), 1);  // the first number and the width at their limits
  EXPECT_EQ(g_printed.back().first, 255);
  EXPECT_EQ(g_printed.back().text.size(), 255u);
  // Each size one past its limits (22 rows among them), and no text.
  for (auto [first, rows, width] : {std::tuple{0, 1, 3}, {256, 1, 3}, {1, 0, 3}, {1, 22, 3}, {1, 1, 0}, {1, 1, 256}}) {
    EXPECT_EQ(print(uint16_t(first), uint16_t(rows), uint16_t(width), 5), 300540) << first << " " << rows << " " << width;
    EXPECT_EQ(last_err(), 300170u);
  }
  EXPECT_EQ(print(1, 1, 3, 5, false), 300540);
  EXPECT_EQ(last_err(), 300170u);
  EXPECT_EQ(g_printed.size(), 2u);
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
  // At level 1 (shift 10) unless shift says another.
  auto vfy = [&](IbVfyField f, uint8_t mode, bool conds, bool level_true, uint32_t shift = 10) {
    restart();
    if (conds) set_tf(shift, level_true);  // the generated tests before it
    bld_ira(&m.code, it, 1);
    bld_vfy(&m.code, f, mode, "ABC", conds, shift);
    end();
    uint32_t mask = 0;
    int rc = run(ii2::cref(1, 0), &mask);
    return std::make_pair(rc, rc == 1 ? (mask >> (shift - 2)) & 3 : 0u);
  };
  // The records of the process's message file.
  auto queued = [&] {
    FmArb* f = m.pcb->msg_file.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(m.pool, 600));
    PROTO_FULL(f, 0, buf);
    f->rec_len = 600;
    f->op = FM_OP_FIRST;
    fm_start(f);
    f->op = 0;
    int n = 0;
    while (fm_rdnxt(f)) ++n;
    return n;
  };
  auto* show = static_cast<WmShow*>(MM_ALLOC(m.pool, sizeof(WmShow)));
  std::memset(static_cast<void*>(show), 0, sizeof *show);
  m.pcb->show.set(show);
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
  EXPECT_EQ(queued(), 0);
  EXPECT_EQ(show->flags & wmshow::kAlert, 0);
  // An even digit count needs a first nibble of 0.
  uint8_t odd[3] = {0x12, 0x34, 0x5C};
  std::memcpy(ft, odd, 3);
  IbVfyField pk4{8, 3, 2, 2, "PRICE", ""};
  EXPECT_EQ(vfy(pk4, 0, false, false), std::make_pair(1, 2u));
  IbVfyField pk31{8, 3, 3, 1, "PRICE", ""};  // decimals count too: 4 digits
  EXPECT_EQ(vfy(pk31, 0, false, false), std::make_pair(1, 2u));
  // Mode 1: a warning; mode 2: an error (each queues the message and
  // alerts the screen; the event point's error count tells its caller);
  // mode 3: OPTION 278, code 3.
  std::memcpy(ft, bad, 3);
  EXPECT_EQ(vfy(pk, 1, false, false), std::make_pair(1, 2u));
  EXPECT_EQ(m.status->warnings.get(), 1u);
  EXPECT_EQ(queued(), 1);
  EXPECT_NE(show->flags & wmshow::kAlert, 0);
  EXPECT_EQ(vfy(pk, 2, false, false), std::make_pair(1, 2u));
  EXPECT_EQ(m.status->errors.get(), 1u);
  EXPECT_EQ(queued(), 2);
  IlfExecBlock blk;  // the same code again
  ::mark(0, [&] { II_EXEC_MISC(m.pcb, 21, &blk, iitest::Module::word(ii2::cref(1, 0))); });
  EXPECT_EQ(blk.errors, 1u);
  EXPECT_EQ(m.status->errors.get(), 2u);
  EXPECT_EQ(vfy(pk, 3, false, false).first, 3);
  EXPECT_EQ(m.status->option.get(), 278);
  // Logic.
  IbVfyField lg{11, 1, 0, 0, "DONE", ""};
  ft[0] = 'x';
  EXPECT_EQ(vfy(lg, 0, false, false), std::make_pair(1, 2u));
  EXPECT_EQ(la_cur_sys_err(), "DONE must contain 0, 1, or ' ' (78)");
  for (char c : {' ', '0', '1'}) {
    ft[0] = uint8_t(c);
    EXPECT_EQ(vfy(lg, 0, false, false), std::make_pair(1, 1u)) << c;
  }
  // Dictionary conditions: the level the generated tests left.
  EXPECT_EQ(vfy(lg, 0, true, true), std::make_pair(1, 1u));
  EXPECT_EQ(vfy(lg, 0, true, false), std::make_pair(1, 2u));
  EXPECT_EQ(la_cur_sys_err(), "DONE does not meet data dictionary constraints");
  EXPECT_EQ(vfy(lg, 0, true, false, 2), std::make_pair(1, 2u));  // level 5, the deepest
  EXPECT_EQ(vfy(lg, 0, true, true, 2), std::make_pair(1, 1u));
  // A value of the wrong form is told as such, whatever the conditions.
  ft[0] = 'x';
  EXPECT_EQ(vfy(lg, 0, true, false), std::make_pair(1, 2u));
  EXPECT_EQ(la_cur_sys_err(), "DONE must contain 0, 1, or ' ' (78)");
  // A calculation variable: 8 packed bytes of 15 digits (its scale after them).
  IbVfyField cva{12, 9, 15, 0, "SUM", ""};
  uint8_t var[9] = {0, 0, 0, 0, 0, 0, 0x01, 0x2C, 2};
  std::memcpy(ft, var, 9);
  EXPECT_EQ(vfy(cva, 0, false, false), std::make_pair(1, 1u));
  ft[0] = 0x0A;
  EXPECT_EQ(vfy(cva, 0, false, false), std::make_pair(1, 2u));
  EXPECT_EQ(la_cur_sys_err(), "SUM contains invalid packed decimal data");
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
  // A day-of-year text date, and an internal one (a byte a unit).
  IbVfyField jul{3, 7, 0, 0, "DAY", ""};
  jul.date_mask = "0807005";
  std::memcpy(ft, "2024366", 7);
  EXPECT_EQ(vfy(jul, 0, false, false), std::make_pair(1, 1u));
  std::memcpy(ft, "2023366", 7);
  EXPECT_EQ(vfy(jul, 0, false, false), std::make_pair(1, 2u));
  IbVfyField in{15, 8, 0, 0, "AT", ""};
  in.date_mask = "08070605";
  uint8_t leap[8] = {20, 24, 2, 29, 0, 0, 0, 0};
  std::memcpy(ft, leap, 8);
  EXPECT_EQ(vfy(in, 0, false, false), std::make_pair(1, 1u));
  ft[1] = 23;
  EXPECT_EQ(vfy(in, 0, false, false), std::make_pair(1, 2u));
  in.date_mask = nullptr;  // no mask: every unit
  EXPECT_EQ(vfy(in, 0, false, false), std::make_pair(1, 2u));
  std::memcpy(ft, leap, 8);
  EXPECT_EQ(vfy(in, 0, false, false), std::make_pair(1, 1u));
  // A field with a range of its own (century to day) is read in that
  // form whatever its mask shows: none (every unit) or the month and day.
  IbVfyField ranged{4, 8, 8, 5, "DUE", ""};
  for (const char* mask : {static_cast<const char*>(nullptr), "0605"}) {
    ranged.date_mask = mask;
    std::memcpy(ft, "20240229", 8);
    EXPECT_EQ(vfy(ranged, 0, false, false), std::make_pair(1, 1u)) << (mask ? mask : "none");
    std::memcpy(ft, "20230229", 8);
    EXPECT_EQ(vfy(ranged, 0, false, false), std::make_pair(1, 2u)) << (mask ? mask : "none");
  }
  // A mode above 3 is refused by the builder (the compiler's 102630), and
  // so is a date mask that does not compile.
  EXPECT_EQ(bld_vfy(&m.code, lg, 4, "ABC", false, 10), nullptr);
  SysErrCapture cap(SysErrAnswer::Continue);
  dt.date_mask = "0809";
  EXPECT_EQ(bld_vfy(&m.code, dt, 0, "ABC", false, 10), nullptr);
  EXPECT_NE(cap.last().find("bad mask token"), std::string::npos);
}

// VERIFY of a binary field with a token list (loaded at its first run): 0
// or a token of the list holds, a 1-byte value unsigned and a 2-byte one
// signed; any other value does not.
TEST_F(IiMisc, VerifyTokenValues) {
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(m.pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(m.pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  FmFdb fdb;
  INIT_DTOKEN_FDB(&fdb, kdb, sdb, "ABC", "00");
  fdb.fclass = FM_CLASS_MEMORY;
  ASSERT_EQ(FM_CREATE(&fdb, com.base_scope, 0, 0, 0, 15), 1) << fdb.status.get();
  FmArb* f = fdb.handle.get();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(m.pool, 60));
  for (int n : {1, 200, -2}) {
    auto& r = rec::view<CvTokenRec>(buf);
    std::memset(buf, 0, 60);
    r.group.set("STATE");
    r.pad = ' ';
    r.number = n;
    r.text.set(std::to_string(n).c_str());
    f->rec.set(buf);
    f->op = 0;
    ASSERT_EQ(fm_write(f), 1);
  }
  auto vfy = [&](uint16_t len, uint32_t value) {
    restart();
    bld_ira(&m.code, it, 1);
    EXPECT_NE(bld_vfy(&m.code, IbVfyField{5, len, 5, 0, "STATUS", "STATE"}, 0, "ABC", false, 10), nullptr);
    end();
    rec::view<rec::U32>(ft) = value;
    uint32_t mask = 0;
    EXPECT_EQ(run(ii2::cref(1, 0), &mask), 1);
    return (mask >> 8) & 3;
  };
  EXPECT_EQ(vfy(1, 200), 1u);
  EXPECT_EQ(vfy(2, 0xFFFE), 1u);  // -2
  EXPECT_EQ(vfy(4, 0xFFFFFFFE), 1u);
  EXPECT_EQ(vfy(2, 0), 1u);
  EXPECT_EQ(vfy(2, 3), 2u);
  EXPECT_EQ(la_cur_sys_err(), "STATUS contains an invalid token value (3)");
  EXPECT_EQ(vfy(4, 0x10000 + 200), 2u);
  cv_close_token();
  FM_CLOSE(f, FM_CL_SCRATCH);
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
  // Registers 1 to 4 alone, compiled or run.
  restart();
  EXPECT_NE(bld_ira_sum(&m.code, 1, 4), nullptr);
  EXPECT_NE(bld_ira_bucket(&m.code, 4), nullptr);
  for (int reg : {0, 5}) {
    EXPECT_EQ(bld_ira_sum(&m.code, 1, reg), nullptr) << reg;
    EXPECT_EQ(bld_ira_bucket(&m.code, reg), nullptr) << reg;
  }
  ii_report_svc.accumulator = [](Pcb*, uint32_t n) { return n < 3 ? g_acc[n] : nullptr; };
  ii_report_svc.bucket = [](Pcb*, uint8_t* acc) { return acc + 9; };
  restart();
  bld_ira_sum(&m.code, 1, 4);
  rec::view<IbIraBucket>(bld_ira_bucket(&m.code, 4)).reg = 5;
  flag(1);
  end();
  ii2::flags().clear();
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_TRUE(ii2::flags().empty());
  EXPECT_NE(cap.last().find("no bucket"), std::string::npos);
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
