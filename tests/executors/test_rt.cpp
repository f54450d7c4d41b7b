// The run-time error display: each error goes into the one ERROR DISPLAY
// record and "ERROR MESSAGE" of "0LA" runs over two surfaces of its own,
// which go however it ends; without a screen the text goes to standard
// error.
#include <gtest/gtest.h>

#include "executors/chld_fixture.h"
#include "executors/rt.h"
#include "files/dictrec.h"
#include "files/fmcat.h"
#include "screen/memterm.h"
#include "screen/wm.h"

using namespace chldtest;

namespace {

class RtErr : public ChldFix {
 protected:
  MemTerm term;
  Keymap km;
  void SetUp() override {
    ChldFix::SetUp();
    ASSERT_EQ(fx::write("APPL", nullptr, nullptr, {fx::appl("0LA", "00")}), 1);
    ASSERT_EQ(fx::write("PROCESS", "0LA", "00", {proc_rec("ERROR MESSAGE", 2, "0")}), 1);
    descs()["ERROR MESSAGE"] = Desc{{1}, {}, {}, false};
    pi_getters_reset();
  }
  void TearDown() override {
    wm_end();
    ChldFix::TearDown();
  }
  void screen() {
    std::string err;
    ASSERT_TRUE(km_compile_source(kTestKeymap, ".", "test.km", "xterm", &km, &err)) << err;
    ASSERT_EQ(wm_start(&term, &km), 1);
  }
  static void show(const char* text) {
    auto* r = static_cast<ErrDisplay*>(MM_ALLOC(pc_scratch_pool(), sizeof(ErrDisplay)));
    std::memset(static_cast<void*>(r), ' ', sizeof *r);
    r->msg_flag = 255;
    r->msg_text.set(text);
    rt_err(nullptr, r);
    mm_free(r);
  }
  // The texts of the ERROR DISPLAY records.
  static std::vector<std::string> records() {
    std::vector<std::string> out;
    FmFdb f;
    INIT_ERR_FDB(&f);
    if (!FM_OPEN(&f, com.depth, 0, 15, 15)) return out;
    FmArb* a = f.handle.get();
    auto* r = static_cast<ErrDisplay*>(MM_ALLOC(pc_scratch_pool(), sizeof(ErrDisplay)));
    PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(r));
    a->op = FM_OP_FIRST;
    fm_start(a);
    a->op = 0;
    while (fm_rdnxt(a)) out.push_back(r->msg_text.str());
    mm_free(r);
    FM_CLOSE(a, 0);
    return out;
  }
  static int surfaces() {
    int s = 0, w = 0, r = 0;
    wm_counts(&s, &w, &r);
    return s;
  }
};

// Two errors in a row leave one record, the later one; each runs ERROR
// MESSAGE, and its surfaces are gone after it, also when it dies of a
// memory fault (which then ends the caller's scope with 37).
TEST_F(RtErr, OneRecordTheLaterAndNoSurfaceLeft) {
  screen();
  int before = surfaces();
  show("first error");
  show("second error");
  EXPECT_EQ(records(), std::vector<std::string>{"second error"});
  EXPECT_EQ(ran("ip_exec"), (std::vector<std::string>{"ERROR", "ERROR"}));
  EXPECT_EQ(surfaces(), before);
  proc_exec_script(2, 37);
  EXPECT_EQ(::mark(0, [] { show("third error"); }), 37);
  EXPECT_EQ(surfaces(), before);
  EXPECT_EQ(records(), std::vector<std::string>{"third error"});
}

// Without a screen nothing runs: the record is kept and its text (with a
// file error's status text) goes to standard error.
TEST_F(RtErr, WithoutAScreenTheTextGoesToStandardError) {
  testing::internal::CaptureStderr();
  show("no screen");
  auto* r = static_cast<PiFiErr*>(MM_ALLOC(pc_scratch_pool(), sizeof(PiFiErr)));
  std::memset(static_cast<void*>(r), ' ', sizeof *r);
  r->msg_text.set("File not found");
  r->status_text.set("Record locked");
  rt_err(nullptr, r);
  mm_free(r);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "no screen\nFile not found: Record locked\n");
  EXPECT_TRUE(ran("ip_exec").empty());
  EXPECT_EQ(records().size(), 1u);
}

// The first record of an empty work file: none, and the caller's record
// stays as it was; once written, it reads back.
TEST_F(RtErr, ReadingTheFirstRecordOfAnEmptyFileLeavesTheRecord) {
  FmFdb fdb;
  INIT_ERR_FDB(&fdb);
  if (!FM_OPEN(&fdb, com.depth, 0, 15, 15)) {
    INIT_ERR_FDB(&fdb);
    ASSERT_TRUE(FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15));
    INIT_ERR_FDB(&fdb);
    ASSERT_TRUE(FM_OPEN(&fdb, com.depth, 0, 15, 15));
  }
  FmArb* f = fdb.handle.get();
  ErrDisplay rec;
  std::memset(static_cast<void*>(&rec), 'x', sizeof rec);
  EXPECT_EQ(rt_read_first(f, &rec, sizeof rec), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&rec), sizeof rec), std::string(sizeof rec, 'x'));
  ErrDisplay w;
  std::memset(static_cast<void*>(&w), ' ', sizeof w);
  w.msg_flag = 255;
  w.msg_text.set("kept");
  ASSERT_EQ(rt_upd_first(f, &w, sizeof w), 1);
  EXPECT_EQ(rt_read_first(f, &rec, sizeof rec), 1);
  EXPECT_EQ(std::memcmp(&rec, &w, sizeof w), 0);
  FM_CLOSE(f, 0);
}

}  // namespace
