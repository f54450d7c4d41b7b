// The interpreter's screens on a terminal in memory: the mini data-entry
// screen keeps inside the screen whatever its message.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "language/ibimg.h"
#include "language/ibmisc.h"
#include "language/iiimg.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "process/pc.h"
#include "process/emrec.h"
#include "process/pishr.h"
#include "files/fmcat.h"
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

// ---------------------------------------------------- report images --
// In an Output process the attribute and display verbs go to the report
// manager (the recording stand-ins of the report seam): copies headed by
// the image's report handle. BROWSE writes its record and the PCF's key (82
// bytes at most) only when the process has a report control block.
class IiImgReport : public IiMsg {
 protected:
  char name[22];
  FmArb* sub(const char* label) {
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC(m.pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC(m.pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
    FmFdb f;
    em_sub_fdb(*em_sub(label), &f, kdb, sdb);
    EXPECT_EQ(FM_CREATE(&f, 0, 0, 0, 15, 15), 1) << label;
    return f.handle.get();
  }
  template <class T>
  void put(FmArb* f, const T& r) {
    auto* b = static_cast<T*>(MM_ALLOC(m.pool, sizeof(T)));
    *b = r;
    PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(b));
    EXPECT_EQ(fm_write(f), 1);
  }
  void SetUp() override {
    IiMsg::SetUp();
    ii_report_svc_reset();
    EmHeader* em = m.em;
    em->citm.set(sub("CITM"));
    em->cchr.set(sub("CCHR"));
    em->pk.set(sub("PK"));
    em->n_items = 1;
    em->n_images = 1;
    em->n_frames = 1;
    std::memset(name, ' ', sizeof name);
    std::memcpy(name, "NAME", 4);
    EmCitm c;
    std::memset(static_cast<void*>(&c), 0, sizeof c);
    c.wm.handle = 1;
    c.wm.row = 2;
    c.wm.col = 5;
    c.last_row = 2;
    c.last_col = 10;
    c.app.set("SHW");
    std::memcpy(c.field.data(), name, 22);
    c.occ = 1;
    c.item_no = 1;
    for (auto& x : c.secr) x = 0xFFFFFFFFu;
    put(em->citm.get(), c);
    WmChr ch;
    CHR_PREP(&ch);
    ch.handle = 1;
    ch.row = 2;
    ch.col = 5;
    ch.cols = 6;
    ch.attr = 0x2000;
    ch.item_row = 2;
    ch.item_col = 5;
    put(em->cchr.get(), ch);
    EmPk pk;
    std::memset(static_cast<void*>(&pk), 0, sizeof pk);
    pk.length = 90;  // longer than a browse key holds
    put(em->pk.get(), pk);
    auto* fr = static_cast<EmCfrm*>(MM_ALLOC(m.pool, sizeof(EmCfrm)));
    std::memset(static_cast<void*>(fr), 0, sizeof *fr);
    auto* im = static_cast<EmCimg*>(MM_ALLOC(m.pool, sizeof(EmCimg)));
    std::memset(static_cast<void*>(im), 0, sizeof *im);
    im->seq = 1;
    im->first_item = 1;
    im->last_item = 1;
    auto* ft = static_cast<PcbFrameEnt*>(MM_ALLOC(m.pool, 2 * sizeof(PcbFrameEnt)));
    std::memset(static_cast<void*>(ft), 0, 2 * sizeof(PcbFrameEnt));
    ft[1].cfrm.set(fr);
    auto* it = static_cast<PcbImageEnt*>(MM_ALLOC(m.pool, 2 * sizeof(PcbImageEnt)));
    std::memset(static_cast<void*>(it), 0, 2 * sizeof(PcbImageEnt));
    it[1].cimg.set(im);
    it[1].region = 0x30007;  // report number 7 (its low 16 bits are the handle)
    m.pcb->frame_tbl.set(ft);
    m.pcb->image_tbl.set(it);
    m.pcb->run.frame = 1;
    m.pcb->run.image = 1;
    m.pcb->invoc.type = 3;
  }
  void TearDown() override {
    ii_report_svc_reset();
    IiMsg::TearDown();
  }
  int run_code() {
    m.op4(10);
    IlfExecBlock b;
    return ::mark(0, [&] { II_EXEC_MISC(m.pcb, 43, &b, iitest::Module::word(first)); });
  }
  CodeRef first{};
};

TEST_F(IiImgReport, AttributeAndDisplayVerbsGoToTheReportManager) {
  first = ib_here(&m.code);
  ASSERT_NE(bld_chr_def(&m.code, 11, "SHW", name, 1, 1, true), nullptr);
  ASSERT_NE(bld_dspl_def(&m.code, 9, "SHW", name, 1, 1, true), nullptr);
  ASSERT_NE(bld_chr_def(&m.code, 95, "SHW", name, 1, 1, true), nullptr);  // no report control block
  ASSERT_NE(bld_chr_def(&m.code, 11, "SHW", name, 2, 1, true), nullptr);  // no such occurrence
  EXPECT_EQ(run_code(), 1);
  const auto& calls = ii_rm_calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].kind, 'C');
  EXPECT_EQ(calls[0].handle, 7u);
  EXPECT_EQ(calls[0].row, 2);
  EXPECT_EQ(calls[0].col, 5);
  EXPECT_EQ(calls[0].value, 0x40u);
  EXPECT_EQ(calls[0].select, 0x40u);
  EXPECT_EQ(calls[1].kind, 'I');
  EXPECT_EQ(calls[1].handle, 7u);
  EXPECT_EQ(calls[1].select, 0u);
  EXPECT_EQ(calls[2].kind, 'C');  // BROWSE's characteristic, masks 0
  EXPECT_EQ(calls[2].select, 0u);
}

// The image's first item, the module's last (item 1 here), is one of all
// the items BRIGHT reaches, and its entry follows the verbs: BRIGHT clears
// its bits and those it passes on from the item's mask, and DISPLAY leaves
// it no longer pending display.
TEST_F(IiImgReport, VerbsReachTheFirstAndLastItem) {
  auto* c = static_cast<EmCitm*>(MM_ALLOC(m.pool, sizeof(EmCitm)));
  std::memset(static_cast<void*>(c), 0, sizeof *c);
  c->wm.handle = 1;
  c->wm.row = 2;
  c->wm.col = 5;
  c->last_row = 2;
  c->last_col = 10;
  c->app.set("SHW");
  std::memcpy(c->field.data(), name, 22);
  c->occ = 1;
  c->item_no = 1;
  for (auto& x : c->secr) x = 0xFFFFFFFFu;
  auto* items = static_cast<PcbItemEnt*>(MM_ALLOC(m.pool, 2 * sizeof(PcbItemEnt)));
  std::memset(static_cast<void*>(items), 0, 2 * sizeof(PcbItemEnt));
  items[1].citm.set(c);
  items[1].sig = 0xFFFFFFFFu;
  items[1].pending = 1;
  m.pcb->item_tbl.set(items);
  first = ib_here(&m.code);
  ASSERT_NE(bld_chr_all(&m.code, 11, true), nullptr);
  ASSERT_NE(bld_dspl_def(&m.code, 28, "SHW", name, 1, 1, true), nullptr);
  EXPECT_EQ(run_code(), 1);
  ASSERT_EQ(ii_rm_calls().size(), 2u);
  EXPECT_EQ(ii_rm_calls()[0].kind, 'C');
  EXPECT_EQ(items[1].sig.get(), ~0x240u);
  EXPECT_EQ(items[1].pending, 0);
}

// The key's segment (90 bytes at 0) is taken from a record that holds it
// (90 bytes), never from one a byte shorter: the module's key segments are
// no bound of the record (the key then stays blank).
TEST_F(IiImgReport, BrowseWritesItsRecordWithTheKeyCutAt82Bytes) {
  ii_report_svc.has_report = [](Pcb*) { return true; };
  auto* rec = static_cast<uint8_t*>(MM_ALLOC(m.pool, 100));
  for (int i = 0; i < 100; ++i) rec[i] = uint8_t('A' + i % 26);
  m.pcb->pcf_buf1.set(rec);
  auto* cfi = static_cast<EmCfi*>(MM_ALLOC(m.pool, sizeof(EmCfi)));
  std::memset(static_cast<void*>(cfi), 0, sizeof *cfi);
  auto* fc = static_cast<PiFileCtl*>(MM_ALLOC(m.pool, sizeof(PiFileCtl)));
  std::memset(static_cast<void*>(fc), 0, sizeof *fc);
  fc->cfi.set(cfi);
  m.pcb->pcf_entry.set(fc);
  first = ib_here(&m.code);
  ASSERT_NE(bld_chr_def(&m.code, 95, "SHW", name, 1, 1, true), nullptr);
  m.op4(10);
  for (uint16_t len : {90, 89}) {
    SCOPED_TRACE(len);
    cfi->fdb.rec_len = len;
    ii_rm_calls().clear();
    IlfExecBlock b;
    EXPECT_EQ(::mark(0, [&] { II_EXEC_MISC(m.pcb, 43, &b, iitest::Module::word(first)); }), 1);
    const auto& calls = ii_rm_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, 'B');
    EXPECT_EQ(calls[0].handle, 7u);
    EXPECT_EQ(calls[0].col, 5);
    EXPECT_EQ(calls[0].key, len == 90 ? std::string(reinterpret_cast<char*>(rec), 82) : std::string(82, ' '));
  }
}

// COLOR: foreground and background 0-8 from the status record, any other
// value the terminal's default (0).
TEST_F(IiImgReport, ColorTakesColoursZeroToEightOnly) {
  auto* st = static_cast<uint8_t*>(MM_ALLOC(m.pool, 700));
  std::memset(st, 0, 700);
  m.areas[kPcbStatusArea].set(st);
  first = ib_here(&m.code);
  ASSERT_NE(bld_chr_def(&m.code, 93, "SHW", name, 1, 1, true), nullptr);
  m.op4(10);
  for (auto [fg, bg, want] : {std::tuple{8, 8, 0x88}, std::tuple{9, 3, 0x03}, std::tuple{2, 255, 0x20}}) {
    st[642] = uint8_t(fg);
    st[643] = uint8_t(bg);
    ii_rm_calls().clear();
    IlfExecBlock b;
    EXPECT_EQ(::mark(0, [&] { II_EXEC_MISC(m.pcb, 43, &b, iitest::Module::word(first)); }), 1);
    ASSERT_EQ(ii_rm_calls().size(), 1u);
    EXPECT_EQ(ii_rm_calls()[0].colour, want) << fg << " " << bg;
  }
}

// AT FIELD finds the item under the cursor from its first cell to its last
// (row 2, columns 5-10; occurrence 2 on row 3), never a cell past either
// end, and leaves its occurrence and ordinal in the status record (0 when
// none); with an occurrence or an ordinal loaded it looks at those only.
// POSITION puts the cursor on the item's first cell, the status record's
// cursor kept within the screen; without a field it only keeps the status
// record's cursor within the screen, the cursor on an item that starts there.
TEST_F(IiImgReport, AtFieldAndPositionByTheItemsCells) {
  // Occurrence 2 on row 3, and a field of another application (whose
  // items come first in key order) on row 5.
  for (int n : {2, 3}) {
    EmCitm c;
    std::memset(static_cast<void*>(&c), 0, sizeof c);
    c.wm.handle = 1;
    c.wm.row = n == 2 ? 3 : 5;
    c.wm.col = 5;
    c.last_row = c.wm.row.get();
    c.last_col = 10;
    c.app.set(n == 2 ? "SHW" : "ABC");
    std::memcpy(c.field.data(), name, 22);
    c.occ = n == 2 ? 2 : 1;
    c.item_no = uint16_t(n);
    for (auto& x : c.secr) x = 0xFFFFFFFFu;
    put(m.em->citm.get(), c);
  }
  m.em->n_items = 3;
  m.em->n_areas = kPcbStatusArea;  // the status record the module's last area
  auto* area = static_cast<uint8_t*>(MM_ALLOC(m.pool, 700));
  std::memset(area, 0, 700);
  m.areas[kPcbStatusArea].set(area);
  auto& st = rec::view<PdStatus>(area);
  m.pcb->run.shown = 0x30007;  // the image's region is the one shown
  auto run = [&](auto code) {
    first = ib_here(&m.code);
    code();
    m.op4(10);
    IlfExecBlock b;
    return ::mark(0, [&] { II_EXEC_MISC(m.pcb, 43, &b, iitest::Module::word(first)); });
  };
  // AT FIELD: occurrence and ordinal of the item found at (row, col).
  auto at = [&](int row, int col, int occ, int ord) {
    m.pcb->run.curs_row = row;
    m.pcb->run.curs_col = col;
    st.item_occ = 99;
    st.item_ordinal = 99;
    EXPECT_EQ(run([&] {
                if (occ) bld_ld_len(&m.code, 1, uint16_t(occ));
                if (ord) bld_ld_len(&m.code, 2, uint16_t(ord));
                bld_pos(&m.code, "SHW", name, occ != 0, ord != 0, false, 10);
              }),
              1);
    return std::to_string(st.item_occ.get()) + "/" + std::to_string(st.item_ordinal.get());
  };
  EXPECT_EQ(at(2, 5, 0, 0), "1/1");
  EXPECT_EQ(at(2, 10, 0, 0), "1/1");
  EXPECT_EQ(at(2, 4, 0, 0), "0/0");
  EXPECT_EQ(at(2, 11, 0, 0), "0/0");
  EXPECT_EQ(at(1, 5, 0, 0), "0/0");
  EXPECT_EQ(at(3, 10, 0, 0), "2/1");
  EXPECT_EQ(at(4, 10, 0, 0), "0/0");
  EXPECT_EQ(at(3, 7, 2, 0), "2/1");
  EXPECT_EQ(at(3, 7, 1, 0), "0/0");
  EXPECT_EQ(at(2, 7, 2, 0), "0/0");
  EXPECT_EQ(at(3, 7, 2, 1), "2/1");
  EXPECT_EQ(at(3, 7, 2, 2), "0/0");
  EXPECT_EQ(at(2, 7, 1, 1), "1/1");
  // AT FIELD of an application only, and of any field.
  auto at_app = [&](int row, const char* app) {
    m.pcb->run.curs_row = row;
    m.pcb->run.curs_col = 7;
    st.item_occ = 99;
    EXPECT_EQ(run([&] { bld_pos(&m.code, app, nullptr, false, false, false, 10); }), 1);
    return int(st.item_occ.get());
  };
  EXPECT_EQ(at_app(2, "SHW"), 1);
  EXPECT_EQ(at_app(3, "SHW"), 2);
  EXPECT_EQ(at_app(5, "SHW"), 0);
  EXPECT_EQ(at_app(5, nullptr), 1);
  EXPECT_EQ(at_app(4, nullptr), 0);
  // POSITION of (occurrence, ordinal): the status record's cursor and the
  // cursor asked for.
  auto pos = [&](int occ, int ord) {
    st.cursor_row = 7;
    st.cursor_col = 7;
    EXPECT_EQ(run([&] {
                bld_ld_len(&m.code, 1, uint16_t(occ));
                bld_ld_len(&m.code, 2, uint16_t(ord));
                bld_pos(&m.code, "SHW", name, true, true, true, 10);
              }),
              1);
    return std::to_string(st.cursor_row.get()) + "," + std::to_string(st.cursor_col.get()) + " " +
           std::to_string(m.pcb->run.curs_row.get()) + "," + std::to_string(m.pcb->run.curs_col.get());
  };
  EXPECT_EQ(pos(1, 1), "2,5 2,5");
  EXPECT_EQ(pos(2, 1), "3,5 3,5");
  EXPECT_EQ(pos(1, 2), "7,7 0,0");
  EXPECT_EQ(pos(3, 1), "7,7 0,0");
  com.rows = 2;  // the item on the screen's last row, and one past it
  com.cols = 5;
  EXPECT_EQ(pos(1, 1), "2,5 2,5");
  EXPECT_EQ(pos(2, 1), "2,5 0,5");
  com.cols = 4;
  EXPECT_EQ(pos(1, 1), "2,4 2,0");
  com.rows = 24;
  com.cols = 80;
  // POSITION without a field.
  auto cursor = [&](int row, int col) {
    st.cursor_row = row;
    st.cursor_col = col;
    EXPECT_EQ(run([&] { bld_pos(&m.code, nullptr, nullptr, false, false, true, 10); }), 1);
    return std::to_string(st.cursor_row.get()) + "," + std::to_string(st.cursor_col.get()) + " " +
           std::to_string(m.pcb->run.curs_row.get()) + "," + std::to_string(m.pcb->run.curs_col.get());
  };
  EXPECT_EQ(cursor(2, 5), "2,5 2,5");
  EXPECT_EQ(cursor(2, 6), "2,6 0,0");
  EXPECT_EQ(cursor(24, 80), "24,80 0,0");
  EXPECT_EQ(cursor(0, 81), "1,80 0,0");
  EXPECT_EQ(cursor(25, 0), "24,1 0,0");
}

// Item numbers are 16 bits: with 65,534 compiled items and item 65,535
// defined, DEFINE without a number finds none left (300250) instead of
// searching on; a number above 65,535 is refused the same way.
TEST_F(IiImgReport, ItemNumbersEndAt65535) {
  auto* d = static_cast<PcbDbg*>(MM_ALLOC(m.pool, sizeof(PcbDbg)));
  std::memset(static_cast<void*>(d), 0, sizeof *d);
  m.pcb->dbg.set(d);
  proc_svc.dbg_init = [](Pcb*, int mode) { return mode == 1; };
  m.em->n_items = 65534;
  first = ib_here(&m.code);
  ASSERT_NE(bld_def_add_app(&m.code), nullptr);
  EXPECT_EQ(run_code(), 1);  // 65,535 is free
  auto* item = static_cast<IiDynItem*>(MM_ALLOC(m.pool, sizeof(IiDynItem)));
  std::memset(static_cast<void*>(item), 0, sizeof *item);
  item->item_no = 65535;
  m.pcb->run.dyn_first.set(reinterpret_cast<uint8_t*>(item));
  m.pcb->run.dyn_last.set(reinterpret_cast<uint8_t*>(item));
  IlfExecBlock b;
  EXPECT_NE(::mark(0, [&] { II_EXEC_MISC(m.pcb, 43, &b, iitest::Module::word(first)); }), 1);
  EXPECT_EQ(d->err_msg, 300250u);
  d->err_msg = 0;
  first = ib_here(&m.code);
  ASSERT_NE(bld_ld_reg(&m.code, 2, 65536), nullptr);
  ASSERT_NE(bld_def_detach(&m.code, "SHW", name, 10), nullptr);
  EXPECT_NE(run_code(), 1);
  EXPECT_EQ(d->err_msg, 300250u);
  // The number of the module's last compiled item is taken: a system
  // error, not a DEFINE over that item.
  SysErrCapture cap(SysErrAnswer::Continue);
  first = ib_here(&m.code);
  ASSERT_NE(bld_ld_reg(&m.code, 2, 65534), nullptr);
  ASSERT_NE(bld_def_detach(&m.code, "SHW", name, 10), nullptr);
  run_code();
  EXPECT_NE(cap.last().find("can't modify DEFINE record"), std::string::npos) << cap.last();
  // UNDEFINE of an item number is refused up to the last compiled item.
  for (int32_t no : {65534, 65535}) {
    d->err_msg = 0;
    first = ib_here(&m.code);
    ASSERT_NE(bld_ld_reg(&m.code, 2, no), nullptr);
    ASSERT_NE(bld_undef(&m.code, "SHW", name, 4), nullptr);
    int rc = run_code();
    if (no == 65534) {
      EXPECT_NE(rc, 1);
      EXPECT_EQ(d->err_msg, 300480u);
    } else {
      EXPECT_EQ(rc, 1);
    }
  }
}
