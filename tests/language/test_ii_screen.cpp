// The interpreter's screens on a terminal in memory: the mini data-entry
// screen keeps inside the screen whatever its message.
#include <gtest/gtest.h>

#include <string>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "language/ibimg.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "process/pc.h"
#include "language/ii_asm.h"
#include "screen/memterm.h"
#include "screen/wm.h"
#include "support/syserr.h"

namespace {

const std::string kLong = [] {
  std::string s;
  for (int i = 0; s.size() < 200; ++i) s += "word" + std::to_string(i) + " ";
  return s.substr(0, 200);
}();

class IiScreen : public ::testing::Test {
 protected:
  MemTerm term;
  Keymap km;
  void SetUp() override {
    bi_init_com();
    std::string err;
    ASSERT_TRUE(km_compile_source(kTestKeymap, ".", "test.km", "xterm", &km, &err)) << err;
    ASSERT_EQ(wm_start(&term, &km), 1);
    la_set_lookup([](uint32_t msg, std::string* text, int* sev) {
      if (msg != 424242) return false;
      *text = kLong;
      *sev = 0;
      return true;
    });
  }
  void TearDown() override {
    la_set_lookup(nullptr);
    wm_end();
  }
  // The screen row that shows text, -1 when none.
  int row_of(const std::string& text) {
    for (int r = 1; r <= term.rows; ++r) {
      std::string line;
      for (int c = 1; c <= term.cols; ++c) line += char(term.at(r, c).ch);
      if (line.find(text) != std::string::npos) return r;
    }
    return -1;
  }
};

TEST_F(IiScreen, MiniScreenWithALongMessageFitsTheScreen) {
  SysErrCapture cap(SysErrAnswer::Continue);
  FmFdb f;
  std::memset(static_cast<void*>(&f), 0, sizeof f);
  f.app.set("ABC");
  f.ver.set("01");
  f.name.set("CUSTOMER");
  std::string line, seen_file;
  term.on_wait = [&] {
    int r = row_of(kLong.substr(0, 40));
    line.clear();
    for (int c = 1; r > 0 && c <= term.cols; ++c) line += char(term.at(r, c).ch);
    seen_file = row_of("ABC 01 CUSTOMER") > 0 ? "yes" : "";
  };
  for (char ch : std::string(kEnterKey)) term.script.push_back(uint8_t(ch));
  EXPECT_FALSE(mini_scr(nullptr, 424242, &f));  // ENTER
  EXPECT_EQ(cap.count(), 0u) << cap.last();
  EXPECT_EQ(seen_file, "yes");
  // The window is the screen's width less two columns; the message is cut to
  // it, a blank column on each side.
  ASSERT_EQ(line.size(), size_t(term.cols));
  size_t at = line.find(kLong.substr(0, 40));
  ASSERT_NE(at, std::string::npos);
  EXPECT_GE(at, 1u);
  EXPECT_NE(line.find(kLong.substr(0, term.cols - 4)), std::string::npos) << line;
  EXPECT_EQ(line.find(kLong.substr(0, term.cols - 3)), std::string::npos) << line;
  // CANCEL answers true.
  term.on_wait = nullptr;
  term.script.push_back(0x1b);
  term.script.push_back(kTmTimeout);
  EXPECT_TRUE(mini_scr(nullptr, 424242, &f));
  EXPECT_EQ(cap.count(), 0u) << cap.last();
}

}  // namespace

// ------------------------------------------- messages and REFRESH in-process --
// MESSAGE, WARNING and ERROR queue their texts on the PCB's message file
// (warnings and errors labelled and counted, nothing in automatic mode);
// REFRESH draws the screen once with its text, without waiting, and puts
// the show block's flags and the cursor request back.
class IiMsg : public IiScreen {
 protected:
  iitest::Module m;
  WmShow* show = nullptr;
  void SetUp() override {
    IiScreen::SetUp();
    fms_init();
    proc_services_reset();
    ii_families_register();
    ASSERT_EQ(ii_init(), 1);
    m.build();
    show = static_cast<WmShow*>(MM_ALLOC(m.pool, sizeof(WmShow)));
    std::memset(static_cast<void*>(show), 0, sizeof *show);
    m.pcb->show.set(show);
  }
  void TearDown() override {
    fm_shutdown();
    m.destroy();
    IiScreen::TearDown();
  }
  // Runs MESSAGE-family instruction(s) of constant texts, then END: the
  // scope's completion code.
  int run(std::initializer_list<std::pair<uint32_t, std::string>> msgs, bool refresh = false) {
    CodeRef first{};
    bool at_first = true;
    for (const auto& [kind, text] : msgs) {
      CodeRef here = ib_here(&m.code);
      if (at_first) first = here;
      at_first = false;
      uint32_t k = pc_put_cnst(m.em, text.data(), uint16_t(text.size()), 0);
      ASSERT_RESULT(refresh ? bld_refresh(&m.code, k, uint16_t(text.size()), false)
                            : bld_msg(&m.code, k, uint16_t(text.size()), kind, false));
    }
    m.op4(10);
    IlfExecBlock b;
    int rc = ::mark(0, [&] { II_EXEC_MISC(m.pcb, 21, &b, iitest::Module::word(first)); });
    errors = b.errors;
    warnings = b.warnings;
    return rc;
  }
  static void ASSERT_RESULT(const uint8_t* p) { EXPECT_NE(p, nullptr); }
  uint32_t errors = 0, warnings = 0;
  // The records of the PCB's message file: kind and text.
  std::vector<std::pair<int, std::string>> queued() {
    std::vector<std::pair<int, std::string>> out;
    FmArb* f = m.pcb->msg_file.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(m.pool, 600));
    PROTO_FULL(f, 0, buf);
    f->rec_len = 600;
    f->op = FM_OP_FIRST;
    fm_start(f);
    f->op = 0;
    while (fm_rdnxt(f)) {
      const auto& h = rec::view<LaQueueRec>(buf);
      out.push_back({h.severity.get(), std::string(reinterpret_cast<char*>(buf) + 8, h.length.get())});
    }
    f->rec_len = 0;
    return out;
  }
};

TEST_F(IiMsg, MessagesQueueLabelledAndCounted) {
  std::string full(64, 'x');
  EXPECT_EQ(run({{kMsgMessage, "Hello"}, {kMsgWarning, "Watch out"}, {kMsgError, "Wrong"}, {kMsgMessage, full}}), 1);
  // (The message file keeps them in the order of its key: kind, length.)
  std::vector<std::pair<int, std::string>> want{
      {0, "Hello"}, {0, full}, {1, "WARNING - Watch out"}, {2, "ERROR - Wrong"}};
  EXPECT_EQ(queued(), want);
  EXPECT_EQ(m.status->errors, 1u);
  EXPECT_EQ(m.status->warnings, 1u);
  EXPECT_EQ(errors, 1u);
  EXPECT_EQ(warnings, 1u);
  EXPECT_NE(show->flags & wmshow::kAlert, 0);
}

TEST_F(IiMsg, AutomaticModeDropsMessagesButCancelStillEnds) {
  m.pcb->invoc.auto_mode = 1;
  EXPECT_EQ(run({{kMsgError, "Wrong"}, {kMsgMessage, "Hello"}}), 1);
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(m.status->errors, 0u);
  EXPECT_EQ(run({{kMsgCancel, " "}, {kMsgMessage, "after"}}), 4);
  EXPECT_EQ(m.status->option, 278);
  EXPECT_TRUE(queued().empty());
}

TEST_F(IiMsg, RefreshDrawsOnceWithoutWaitingAndRestores) {
  show->flags = uint8_t(wmshow::kWait | wmshow::kCopyBack);
  show->curs_req = wmshow::kReqRowCol;
  m.pcb->run.curs_req = wmshow::kReqField;
  EXPECT_EQ(run({{0, "Redrawn now"}}, true), 1);
  EXPECT_EQ(row_of("Redrawn now"), term.rows);
  EXPECT_EQ(show->flags, uint8_t(wmshow::kWait | wmshow::kCopyBack));
  EXPECT_EQ(show->curs_req, wmshow::kReqRowCol);
  EXPECT_EQ(m.pcb->run.curs_req, wmshow::kReqField);
  EXPECT_EQ(show->option, opt::kNext);
  EXPECT_TRUE(queued().empty());
}
