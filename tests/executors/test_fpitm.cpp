// Field display, editing and look-ups on an Input image of hand-built
// compiled items, shown on a terminal in memory: the alpha edit over rules,
// kinds, classes and masks; the strong edit's messages and cursor; hidden
// fields of a failing security code; look-ups read through a real memory
// file; the message-file comparison.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "executors/fpitm.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "language/ib.h"
#include "language/ii.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/pishr.h"
#include "process/pl.h"
#include "process/pl_fixture.h"
#include "screen/memterm.h"
#include "screen/wm.h"
#include "support/syserr.h"

namespace {

constexpr int kRows = 6, kCols = 40;

// What the tests need of an item: its place, width, type and editing rules.
struct ItemDef {
  int row = 1, col = 10, len = 6;
  int type = 1;            // alpha
  int rule = 1;            // justification
  int kind = 0;            // alpha kind
  bool sign = false;
  const char* mask = "";
  bool optional = false;   // entry-optional
};

class FpItm : public ::testing::Test {
 protected:
  pltest::Engine e;
  MemTerm term;
  Keymap km;
  Pcb* pcb = nullptr;
  EmHeader* em = nullptr;
  EmCimg* im = nullptr;
  PdArea3* a3 = nullptr;
  PdArea9* a9 = nullptr;
  PdArea11* a11 = nullptr;
  std::vector<EmCitm*> items;
  uint32_t region = 0;

  template <class T>
  T* alloc(size_t n = sizeof(T)) {
    auto* p = static_cast<T*>(MM_ALLOC(e.pool, n));
    std::memset(static_cast<void*>(p), 0, n);
    return p;
  }
  // An arena word holding the address p: what the loader makes an index.
  uint32_t slot(void* p) {
    auto* s = alloc<Ref<uint8_t>>();
    s->set(static_cast<uint8_t*>(p));
    return arena::offset_of(s);
  }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(e.start());
    std::string err;
    ASSERT_TRUE(km_compile_source(kTestKeymap, ".", "test.km", "xterm", &km, &err)) << err;
    ASSERT_EQ(wm_start(&term, &km), 1);
    la_set_lookup([](uint32_t msg, std::string* text, int* sev) {
      *text = "M" + std::to_string(msg) + " %1";
      *sev = msg == 300999 ? 2 : msg == 300998 ? 3 : 0;
      return msg >= 300000 && msg < 301000;
    });
    pcb = e.pcb("FORM", 2, 2);
    auto* areas = alloc<Ref<uint8_t>>(4 * 14);
    areas[kPcbStatusArea] = pcb->area_addr.get()[kPcbStatusArea];
    a3 = alloc<PdArea3>();
    a9 = alloc<PdArea9>();
    a11 = alloc<PdArea11>();
    areas[3].set(reinterpret_cast<uint8_t*>(a3));
    areas[9].set(reinterpret_cast<uint8_t*>(a9));
    areas[11].set(reinterpret_cast<uint8_t*>(a11));
    pcb->area_addr.set(areas);
    a11->phase = 1;
    a11->entry_level = 1;
    em = em_new(pcb);
    ASSERT_NE(em, nullptr);
    em->n_areas = 13;
    auto* table = alloc<EmAreaEntry>(14 * sizeof(EmAreaEntry));
    for (uint32_t i = 1; i <= 13; ++i) {
      table[i].index = i;
      table[i].size = 700;
    }
    em->area_table.set(reinterpret_cast<uint8_t*>(table));
    em->n_images = 1;
    pcb->module.set(em);
    pcb->msg_file.set(la_create_fi(80, 0));
    im = alloc<EmCimg>();
    im->seq = 1;
    im->rows = kRows;
    im->cols = kCols;
    im->display = 1;
    for (int i = 0; i < 20; ++i) rec::view<rec::U32>(reinterpret_cast<uint8_t*>(im->b104.data()) + 4 * i) = 32767u;
    auto* text = alloc<char>(kRows * kCols);
    std::memset(text, ' ', kRows * kCols);
    im->text.set(text);
    auto* it = alloc<PcbImageEnt>(2 * sizeof(PcbImageEnt));
    it[1].cimg.set(im);
    pcb->image_tbl.set(it);
    pcb->run.image = 1;
    uint32_t srf = 0;
    ASSERT_EQ(wm_create_srf(&srf, com.depth), 1);
    WmWnd w;
    INIT_WND(&w, 1, 1, 1, kRows, kCols, 0);
    ASSERT_NE(wm_attach(&w, srf, com.depth), 0u);
    wm_actv(w.window);
    region = w.region;
    it[1].region = region;
  }
  void TearDown() override {
    la_set_lookup(nullptr);
    wm_end();
    e.stop();
  }

  // Adds an item; its number.
  int add(const ItemDef& d) {
    auto* c = alloc<EmCitm>();
    CElem ce{};
    std::memset(static_cast<void*>(&ce), 0, sizeof ce);
    ce.e.type = uint8_t(d.type);
    ce.e.length = uint16_t(d.len);
    ce.e.case_code = 2;
    ce.e.justify = uint8_t(d.rule);
    ce.e.b581 = uint8_t(d.kind);
    ce.e.entry_flag = '1';
    ce.e.fill = ' ';
    ce.e.squeeze = '0';
    ce.e.sign = d.sign ? '1' : '0';
    ce.e.mask.set(d.mask);
    if (d.type == 5) ce.e.digits = uint8_t(d.len * 2);
    auto* cv = reinterpret_cast<CvItem*>(reinterpret_cast<uint8_t*>(&c->wm) + 12);
    CvSitm sitm{d.mask[0] ? d.mask : nullptr, 0};
    EXPECT_EQ(cv_bld_sitm(cv, &ce, &sitm, "ABC", "00"), 1);
    CvBlock blk;
    CvBounds b{kRows, kCols};
    EXPECT_EQ(cv_cmpl(&blk, cv, &b, e.pool), 1);
    c->wm.handle = 1;
    c->wm.row = d.row;
    c->wm.col = d.col;
    c->wm.source = 2;
    c->last_row = d.row;
    c->last_col = d.col + c->wm.text_len - 1;
    auto* value = alloc<uint8_t>(d.len);
    std::memset(value, d.type == 5 ? 0 : ' ', d.len);
    c->wm.value.set(value);
    auto* empty = alloc<uint8_t>(d.len);
    std::memset(empty, d.type == 5 ? 0 : ' ', d.len);
    c->wm.reference = arena::offset_of(empty);
    auto* text = alloc<char>(size_t(c->wm.text_len) + 1);
    std::memset(text, ' ', size_t(c->wm.text_len) + 1);
    c->wm.text.set(text);
    c->item_no = uint16_t(items.size() + 1);
    c->disp = 1;
    c->flag = d.optional ? 1 : 0;
    c->range_ep = 0xFFFFu;
    c->attr_mask = wa::kInputExtra | wa::kInput2;  // no own protection
    for (auto& s : c->secr) s = 0xFFFFFFFFu;
    items.push_back(c);
    em->n_items = uint16_t(items.size());
    auto* t = alloc<PcbItemEnt>((items.size() + 1) * sizeof(PcbItemEnt));
    for (size_t i = 0; i < items.size(); ++i) {
      t[i + 1].citm.set(items[i]);
      if (PcbItemEnt* old = pcb->item_tbl.get()) t[i + 1] = i + 1 < items.size() ? old[i + 1] : t[i + 1];
    }
    pcb->item_tbl.set(t);
    im->first_item = 1;
    im->last_item = uint16_t(items.size());
    return int(items.size());
  }
  PcbItemEnt& ent(int n) { return pcb->item_tbl.get()[n]; }
  // Puts the typed text into the item's display text.
  void type(int n, const std::string& s) {
    EmCitm* c = items[size_t(n - 1)];
    std::string t = s;
    t.resize(c->wm.text_len, ' ');
    std::memcpy(c->wm.text.get(), t.data(), t.size());
  }
  std::string text(int n) {
    EmCitm* c = items[size_t(n - 1)];
    return std::string(c->wm.text.get(), c->wm.text_len);
  }
  std::string value(int n) {
    EmCitm* c = items[size_t(n - 1)];
    return std::string(reinterpret_cast<char*>(c->wm.value.get()), c->wm.length);
  }
  void prepare() {
    prep_itm(pcb, 1);
    upd_scr(pcb, region, false);
  }
  // The message numbers queued, in key order; the file emptied.
  std::vector<std::string> msgs(bool clear = true) {
    std::vector<std::string> out;
    FmArb* f = pcb->msg_file.get();
    auto* buf = alloc<uint8_t>(100);
    PROTO_FULL(f, 0, buf);
    f->op = FM_OP_FIRST;
    fm_start(f);
    f->op = 0;
    while (fm_rdnxt(f)) out.emplace_back(reinterpret_cast<char*>(buf) + 8, rec::view<LaQueueRec>(buf).length);
    for (auto& s : out)
      while (!s.empty() && s.back() == ' ') s.pop_back();
    if (clear) fm_del_all(f);
    return out;
  }
  // The screen as composed now.
  std::string row(int r) {
    WmShow sb{};
    sb.flags = wmshow::kDraw;
    wm_show(&sb, 0);
    return wm_screen_row(r);
  }
};

// ---------------------------------------------------------- edit_alp --
// The Part's rule over rules, kinds, sign and masks: each row is typed into
// one item and checked for its message (empty: it passes).
TEST_F(FpItm, AlphaEditFollowsRulesKindsAndMasks) {
  SysErrCapture cap(SysErrAnswer::Continue);
  struct Case {
    int rule, kind;
    bool sign;
    const char* mask;
    std::string typed;
    const char* msg;
  };
  const std::string latin_a = "\xC0\xC1", sup = std::string(1, char(182));
  const std::vector<Case> cases = {
      {1, 0, false, "", "AB C", "M300020"},     // embedded blank under rule 1
      {1, 0, false, "", "ABC", ""},             // trailing blanks only
      {1, 0, false, "", " ABC", "M300020"},     // leading blank
      {0, 0, false, "", "A BC", "M300070"},     // rule 0: no blank within the value
      {0, 0, false, "", " ABC", "M300070"},
      {0, 0, false, "", "ABC", ""},             // a short value is no missing one
      {0, 0, false, "", "ABCDEF", ""},
      {2, 0, false, "", " A B", ""},            // rule 2 takes any blank
      {1, 1, false, "", "123", ""},             // kind 1: digits only
      {1, 1, false, "", "12A", "M300050"},
      {1, 4, false, "", "1_", "M300050"},       // the fill character
      {1, 2, false, "", "A_", "M300030"},
      {1, 2, true, "", "A" + sup, "M300010"},   // the second reserved character on a signed item
      {1, 2, false, "", "A" + sup, ""},
      {1, 5, false, "", "AB", ""},
      {1, 5, false, "", "A1", "M300040"},
      {1, 5, true, "", sup, "M300010"},
      {1, 3, false, "", "A1_", ""},
      {1, 0, false, "##", "1A", "M300080"},     // digit, letter
      {1, 0, false, "##", "1", ""},             // rule 1: the rest blank ends the check
      {2, 0, false, "##", "1 ", ""},            // rule 2: a blank passes
      {2, 0, false, "##", "1A", "M300080"},
      {1, 0, false, "&&&&", "a9" + latin_a, ""},
      {1, 0, false, "@@", latin_a, ""},         // '@' takes the letters 192-204 too
      {1, 0, false, "@", "1", "M300080"},
      {1, 0, false, "!!!", "?-+", ""},
      {1, 0, false, "   #", "?-+1", ""},
  };
  int n = add({.len = 6});
  for (const Case& c : cases) {
    EmCitm* it = items[0];
    auto* cv = reinterpret_cast<CvItem*>(reinterpret_cast<uint8_t*>(&it->wm) + 12);
    cv->justify = uint8_t(c.rule);
    it->elem580[1] = uint8_t(c.kind);
    cv->sign = c.sign ? '1' : '0';
    it->wm.mask.set(c.mask);
    type(n, c.typed);
    bool ok = edit_alp(pcb, n);
    std::vector<std::string> m = msgs();
    std::string got = m.empty() ? "" : m[0].substr(0, 7);
    EXPECT_EQ(ok, c.msg[0] == 0) << c.rule << "/" << c.kind << " [" << c.mask << "] '" << c.typed << "'";
    EXPECT_EQ(got, c.msg) << c.rule << "/" << c.kind << " [" << c.mask << "] '" << c.typed << "'";
  }
  // An unknown kind and an unknown mask character are system errors.
  items[0]->elem580[1] = 7;
  type(n, "A");
  EXPECT_FALSE(edit_alp(pcb, n));
  items[0]->elem580[1] = 0;
  items[0]->wm.mask.set("X");
  EXPECT_FALSE(edit_alp(pcb, n));
  EXPECT_EQ(cap.count(), 2u);
}

// Every byte under '#', '&' and '@' against the letter and digit sets
// written out here.
TEST_F(FpItm, MaskCharactersOverEveryByte) {
  int n = add({.len = 1, .rule = 3});
  auto letter = [](int b) {
    return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= 192 && b <= 221) || (b >= 224 && b <= 253);
  };
  auto digit = [](int b) { return b >= '0' && b <= '9'; };
  for (const char* mask : {"#", "&", "@", "!"})
    for (int b = 1; b < 256; ++b) {
      if (b == ' ') continue;
      items[0]->wm.mask.set(mask);
      type(n, std::string(1, char(b)));
      bool want = mask[0] == '#' ? digit(b) : mask[0] == '&' ? letter(b) || digit(b) : mask[0] == '@' ? letter(b) : true;
      EXPECT_EQ(edit_alp(pcb, n), want) << mask << " " << b;
      msgs();
    }
}

// '*' takes only the stored character; a refused value gets every '*'
// position back from the stored value.
TEST_F(FpItm, StarPositionsAreRestoredAfterARefusal) {
  int n = add({.len = 4});
  items[0]->wm.mask.set("*#*#");
  std::memcpy(items[0]->wm.value.get(), "A1B2", 4);
  type(n, "A9B8");
  EXPECT_TRUE(edit_alp(pcb, n));
  type(n, "X9YZ");
  EXPECT_FALSE(edit_alp(pcb, n));
  EXPECT_EQ(text(n), "A9BZ");
  EXPECT_EQ(msgs(), std::vector<std::string>{"M300080"});
}

// ------------------------------------------------------- strong_edit --
// Three fields: an empty required one, an empty entry-optional one and an
// embedded blank (under rule 1, and under rule 0, whose message says what is
// wrong with a value that is there). The failures give their messages, the
// failing fields blink, the cursor goes to the lowest and its message comes
// first; the passing field's text becomes its value.
TEST_F(FpItm, StrongEditMarksFailuresAndPutsTheCursorOnTheLowest) {
  int req = add({.row = 2, .col = 10, .len = 6});
  int opt = add({.row = 3, .col = 10, .len = 6, .optional = true});
  int emb = add({.row = 4, .col = 10, .len = 6});
  int good = add({.row = 5, .col = 10, .len = 6});
  int emb0 = add({.row = 6, .col = 10, .len = 6, .rule = 0});
  prepare();
  EXPECT_EQ(ent(req).input, 1);
  type(emb, "AB C");
  type(emb0, "AB C");
  type(good, "HELLO");
  std::memcpy(items[size_t(opt - 1)]->wm.value.get(), "OLD   ", 6);  // cleared by the user
  pcb->run.curs_req = 0;
  EXPECT_FALSE(strong_edit(pcb));
  EXPECT_EQ(value(opt), "      ");
  std::vector<std::string> m = msgs();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0], "M300070");
  EXPECT_EQ(m[1], "M300020");
  EXPECT_EQ(m[2], "M300070 , without blanks inside");
  EXPECT_EQ(fp_cur_item(pcb), req);
  EXPECT_EQ(pcb->run.curs_req, wmshow::kReqField);
  EXPECT_EQ(pcb->run.req_row, 2);
  EXPECT_EQ(value(good), "HELLO ");
  row(1);
  EXPECT_TRUE(wm_screen_cell(4, 10).vis & (tmv::kBlink | tmv::kReverse));
  EXPECT_FALSE(wm_screen_cell(5, 10).vis & (tmv::kBlink | tmv::kReverse));
  // Fixed, both pass; the optional one stays empty without a message.
  type(req, "X");
  type(emb, "ABC");
  type(emb0, "ABC");
  EXPECT_TRUE(strong_edit(pcb));
  EXPECT_TRUE(msgs().empty());
  EXPECT_EQ(value(req), "X     ");
  EXPECT_EQ(value(opt), "      ");
  // An item above ENTRY LEVEL is not edited.
  items[size_t(req - 1)]->disp = 2;
  type(req, "");
  EXPECT_TRUE(strong_edit(pcb));
}

// A field's verification code (its range statements, run through
// II_EXEC_MISC) that leaves a false truth level fails the field with 300000
// and keeps the cursor on it; a true one lets it pass. The code is a test
// instruction setting the truth levels, then END.
uint32_t g_truth = 0;
uint8_t* h_truth(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->mask = g_truth;
  return ii_adv(pc, 4);
}
TEST_F(FpItm, AFalseVerificationFailsTheFieldAndKeepsTheCursorOnIt) {
  constexpr uint16_t kOpTruth = 100;
  IiFn keep[2] = {ii_inst_fns[kOpTruth], ii_inst_fns[kOpTruth + 1]};
  ii_set_pair(kOpTruth, h_truth);
  IbCode code;
  ASSERT_EQ(ib_start(&code, em->inst.get()), 1);
  CodeRef at;
  rec::view<IbInst>(inst_alloc(4, &at, &code)).op = kOpTruth;
  rec::view<IbInst>(inst_alloc(4, nullptr, &code)).op = 10;  // END
  int first = add({.row = 2, .col = 10, .len = 6});
  int checked = add({.row = 3, .col = 10, .len = 6});
  items[size_t(checked - 1)]->range_ep = uint32_t(at.block) | uint32_t(at.offset) << 16;
  prepare();
  type(first, "ONE");
  type(checked, "TWO");
  g_truth = 0x156;  // the first level false
  pcb->run.curs_req = 0;
  EXPECT_FALSE(strong_edit(pcb));
  EXPECT_EQ(msgs(), std::vector<std::string>{"M300000"});
  EXPECT_EQ(fp_cur_item(pcb), checked);
  EXPECT_EQ(pcb->run.curs_req, wmshow::kReqField);
  EXPECT_EQ(pcb->run.req_row, 3);
  EXPECT_EQ(value(checked), "      ");  // a failing field keeps its value
  g_truth = 0x255;  // the last of the five levels false
  EXPECT_FALSE(strong_edit(pcb));
  EXPECT_EQ(msgs(), std::vector<std::string>{"M300000"});
  g_truth = 0x155;
  EXPECT_TRUE(strong_edit(pcb));
  EXPECT_TRUE(msgs().empty());
  EXPECT_EQ(value(checked), "TWO   ");
  ii_inst_fns[kOpTruth] = keep[0];
  ii_inst_fns[kOpTruth + 1] = keep[1];
}

// ---------------------------------------------------- characteristics --
// The item's characteristic loses its hidden and extra bits and takes the
// input bits (none when protected); a characteristic with both target bits
// takes the cursor; the image's fixed-text characteristic is drawn with the
// region.
TEST_F(FpItm, CharacteristicsTakeInputAndTheCursor) {
  int a = add({.row = 2, .col = 10, .len = 6});
  auto put = [&](int r, int c, int cols, uint32_t attr, int ir, int ic) {
    auto* ch = alloc<WmChr>();
    CHR_PREP(ch);
    ch->handle = 1;
    ch->row = r;
    ch->col = c;
    ch->cols = cols;
    ch->attr = attr;
    ch->item_row = ir;
    ch->item_col = ic;
    PROTO_FULL(em->cchr.get(), 0, reinterpret_cast<uint8_t*>(ch));
    ASSERT_EQ(fm_write(em->cchr.get()), 1);
  };
  put(1, 1, 5, wa::kInverse, 0, 0);
  put(2, 10, 6, wa::kTarget1 | wa::kTarget2 | wa::kHidden | wa::kInputExtra | wa::kUnderline, 2, 10);
  std::memcpy(im->text.get(), "NAME:", 5);
  std::memcpy(im->text.get() + kRows * kCols - 4, "END.", 4);
  WmChr* stored = nullptr;
  auto find = [&] {
    uint8_t k[12];
    rec::view<rec::U32>(k) = 1;
    rec::view<rec::I32>(k + 4) = 2;
    rec::view<rec::I32>(k + 8) = 10;
    FmArb* f = em->cchr.get();
    f->key_no = 1;
    auto* kb = alloc<uint8_t>(12);
    std::memcpy(kb, k, 12);
    f->key.set(kb);
    f->key_len = 12;
    stored = reinterpret_cast<WmChr*>(fm_read_fast(f, FM_OP_KEY));
    f->op = 0;
    f->key.reset();
    f->key_len = 0;
  };
  find();
  ASSERT_NE(stored, nullptr);
  EXPECT_TRUE(upd_chr(pcb, a, 0, true));  // a target, protected or not
  EXPECT_EQ(stored->attr & (wa::kInput | wa::kInput2 | wa::kHidden), 0u);
  EXPECT_EQ(ent(a).input, 0);
  EXPECT_TRUE(upd_chr(pcb, a, 0, false));
  EXPECT_EQ(stored->attr & 0x1013u, wa::kInput | wa::kInput2 | wa::kInputExtra);
  EXPECT_EQ(ent(a).input, 1);
  pcb->run.curs_req = 0;
  prepare();
  EXPECT_EQ(pcb->run.curs_req, wmshow::kReqField);
  EXPECT_EQ(pcb->run.req_row, 2);
  EXPECT_EQ(pcb->run.req_col, 10);
  EXPECT_EQ(row(1).substr(0, 5), "NAME:");
  EXPECT_EQ(row(kRows).substr(kCols - 4, 4), "END.");
  EXPECT_TRUE(wm_screen_cell(1, 1).vis & tmv::kReverse);
  EXPECT_TRUE(wm_screen_cell(2, 12).vis & tmv::kUnderline);
  // ITEM input '0' (its own protection, the first input bit alone): the
  // item and its cells take no typing.
  items[0]->attr_mask = items[0]->attr_mask | wa::kInput;
  items[0]->attr = wa::kInput;
  prep_itm(pcb, 1);
  EXPECT_EQ(ent(a).input, 0);
  EXPECT_EQ(stored->attr & wa::kInput, 0u);
}

// ---------------------------------------------------------- security --
// A field whose security code the user's profile lacks takes no input and
// shows blank, hidden.
TEST_F(FpItm, FieldOfAFailingSecurityCodeShowsHidden) {
  int open = add({.row = 2, .col = 10, .len = 6});
  int secret = add({.row = 3, .col = 10, .len = 6});
  std::memcpy(items[0]->wm.value.get(), "OPEN  ", 6);
  std::memcpy(items[1]->wm.value.get(), "SECRET", 6);
  auto* prof = alloc<DProfile>();
  pcb->profile.set(prof);
  a9->db_opts = 2;
  items[1]->secr[1] = 5;
  prepare();
  dspl_itm(pcb, 1);
  EXPECT_EQ(ent(open).input, 1);
  EXPECT_EQ(ent(secret).input, 0);
  EXPECT_EQ(row(2).substr(9, 6), "OPEN  ");
  EXPECT_EQ(row(3).substr(9, 6), "      ");
  // The input code alone protects as well; with the bit the field shows.
  items[1]->secr[1] = 0xFFFFFFFFu;
  items[1]->secr[2] = 5;
  prepare();
  EXPECT_EQ(ent(secret).input, 0);
  prof->bits.b[0] = 1 << 5;
  prepare();
  dspl_itm(pcb, 1);
  EXPECT_EQ(ent(secret).input, 1);
  EXPECT_EQ(row(3).substr(9, 6), "SECRET");
}

// An image without a region displays nothing and reports nothing; an image
// number past the module's image count is none.
TEST_F(FpItm, NoRegionAndImagesPastTheCount) {
  SysErrCapture cap(SysErrAnswer::Continue);
  int a = add({.row = 2, .col = 10, .len = 6});
  prep_itm(pcb, 1);
  PcbImageEnt* it = alloc<PcbImageEnt>(3 * sizeof(PcbImageEnt));
  it[1].cimg.set(im);
  it[2].cimg.set(im);  // beyond n_images 1
  pcb->image_tbl.set(it);
  dspl_itm(pcb, 1);
  EXPECT_EQ(cap.count(), 0u);
  EXPECT_EQ(ent(a).shown, 1);
  ent(a).sig = 7;
  reset_itm_sig(pcb, 2);
  EXPECT_EQ(ent(a).sig, 7u);
  reset_itm_sig(pcb, 1);
  EXPECT_EQ(ent(a).sig, 0xFFFFFFFFu);
}

// A field above ENTRY LEVEL shows nothing on a menu and on an Input image,
// where it takes no input either; at its level it shows.
TEST_F(FpItm, AFieldAboveTheEntryLevelShowsNothing) {
  add({.row = 2, .col = 10, .len = 6});
  int high = add({.row = 3, .col = 10, .len = 6});
  std::memcpy(items[0]->wm.value.get(), "OPEN  ", 6);
  std::memcpy(items[1]->wm.value.get(), "LEVEL2", 6);
  items[1]->disp = 2;
  for (int type : {1, 2}) {
    pcb->invoc.type = uint8_t(type);
    prepare();
    dspl_itm(pcb, 1);
    EXPECT_EQ(row(2).substr(9, 6), "OPEN  ") << type;
    EXPECT_EQ(row(3).substr(9, 6), "      ") << type;
  }
  EXPECT_EQ(ent(high).input, 0);
  a11->entry_level = 2;
  prepare();
  dspl_itm(pcb, 1);
  EXPECT_EQ(row(3).substr(9, 6), "LEVEL2");
  EXPECT_EQ(ent(high).input, 1);
}

// ----------------------------------------------------------- look-ups --
class FpLookup : public FpItm {
 protected:
  FmArb* file = nullptr;
  uint8_t* record = nullptr;
  EmCfi* cfi = nullptr;
  EmCdlu* dlu = nullptr;
  int key = 0, auto2 = 0, auto3 = 0;

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FpItm::SetUp());
    auto* kdb = alloc<FmKdb>();
    auto* sdb = alloc<FmSdb>();
    init_sdb_func(sdb, 1, 0, 4, FM_SEG_ALPHA, '+');
    INIT_KDB(kdb, 0, '+', 8, sdb, 1);
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_MEMORY, 20, 0, kdb, 1);
    INIT_UNIQUE_PATH(&f, "FT", "LK", FM_PT_DATA);
    ASSERT_EQ(FM_CREATE(&f, 0, 0, 0, 15, 15), 1) << f.status;
    file = f.handle.get();
    record = alloc<uint8_t>(20);
    put("C001", "FIRST CUSTOMER  ");
    put("C002", "SECOND CUSTOMER ");
    std::memset(record, ' ', 20);
    cfi = alloc<EmCfi>();
    cfi->desc.set("CUSTOMERS");
    auto* ctl = alloc<PiFileCtl>();
    ctl->cfi.set(cfi);
    ctl->handle.set(file);
    EmCdlu d{};
    std::memset(static_cast<void*>(&d), 0, sizeof d);
    d.number = 1;
    d.ctl_ira = slot(ctl);
    d.area = slot(record);
    d.b132 = '1';
    key = add({.row = 2, .col = 10, .len = 4});
    auto2 = add({.row = 3, .col = 10, .len = 16});
    auto3 = add({.row = 4, .col = 10, .len = 16});
    d.first_item = uint32_t(key);
    items[0]->lk_no = 1;
    items[0]->lk_ira = slot(record);
    items[0]->lk_last = 1;
    for (int n : {auto2, auto3}) {
      EmCitm* c = items[size_t(n - 1)];
      c->use = uint8_t(n == auto2 ? 2 : 3);
      c->lk_file_no = 1;
      c->offset = 4;
      c->attr_mask = wa::kInputExtra | wa::kInput;  // display only
    }
    FmArb* cdlu = em->cdlu.get();
    auto* buf = alloc<EmCdlu>();
    *buf = d;
    PROTO_FULL(cdlu, 0, reinterpret_cast<uint8_t*>(buf));
    ASSERT_EQ(fm_write(cdlu), 1) << cdlu->status;
    dlu = get_cdlu(pcb, 1);
    ASSERT_NE(dlu, nullptr);
    a11->phase = 7;  // the image's highest level is the limit
    prepare();
  }
  void put(const char* k, const char* desc) {
    std::memcpy(record, k, 4);
    std::memcpy(record + 4, desc, 16);
    PROTO_FULL(file, 0, record);
    ASSERT_EQ(fm_write(file), 1) << file->status;
  }
  void set_key(const char* k) { std::memcpy(items[0]->wm.value.get(), k, 4); }
  // Blots the record's description: a read puts it back.
  void blot() { std::memset(record + 4, '#', 16); }
  bool read_again() { return record[4] != '#'; }
  void add_msg_300590() { la_add_msg(3, pcb->msg_file.get(), 300590u, 0u); }
  bool pass(bool first = false) {
    bool ok = true;
    fp_dlu_exec(pcb, first, &ok);
    return ok;
  }
};

// A look-up reads when its key changes and only then; both automatic
// display kinds show the record found.
TEST_F(FpLookup, ReadsOnlyWhenTheKeyChanges) {
  set_key("C001");
  EXPECT_TRUE(pass());
  EXPECT_EQ(row(3).substr(9, 16), "FIRST CUSTOMER  ");
  EXPECT_EQ(row(4).substr(9, 16), "FIRST CUSTOMER  ");
  blot();
  EXPECT_TRUE(pass());
  EXPECT_FALSE(read_again());
  set_key("C002");
  EXPECT_TRUE(pass());
  EXPECT_TRUE(read_again());
  EXPECT_EQ(row(4).substr(9, 16), "SECOND CUSTOMER ");
  EXPECT_TRUE(msgs().empty());
}

// Failure actions: 1 and 2 name the file (or "Record"), fail the pass and
// put the key field in error; 0 lets the pass go on silently. Kind 3 shows
// no stale record after a failure; kind 2 shows the record as it stands.
TEST_F(FpLookup, FailureActionsGiveTheirMessages) {
  set_key("C001");
  EXPECT_TRUE(pass());
  set_key("ZZZZ");
  EXPECT_FALSE(pass());
  EXPECT_EQ(msgs(), std::vector<std::string>{"M300630 CUSTOMERS"});
  EXPECT_EQ(fp_cur_item(pcb), key);
  EXPECT_EQ(row(4).substr(9, 16), std::string(16, ' '));
  EXPECT_EQ(row(3).substr(9, 16), "FIRST CUSTOMER  ");
  // The same bad key on the next pass fails again without a read.
  blot();
  EXPECT_FALSE(pass());
  EXPECT_FALSE(read_again());
  EXPECT_EQ(msgs(), std::vector<std::string>{"M300630 CUSTOMERS"});
  dlu->b132 = '2';
  cfi->desc.set("");
  set_key("YYYY");
  EXPECT_FALSE(pass());
  EXPECT_EQ(msgs(), std::vector<std::string>{"M300210 Record"});
  // Two passes before the screen shows: the failure is reported once, and
  // beside another message of the pass.
  dlu->b132 = '1';
  add_msg_300590();
  set_key("WWWW");
  EXPECT_FALSE(pass());
  EXPECT_FALSE(pass());
  EXPECT_EQ(msgs(), (std::vector<std::string>{"M300590", "M300630 Record"}));
  dlu->b132 = '0';
  set_key("XXXX");
  EXPECT_TRUE(pass());
  EXPECT_TRUE(msgs().empty());
  dlu->b132 = ' ';  // a blank action is 0
  set_key("VVVV");
  EXPECT_TRUE(pass());
  EXPECT_TRUE(msgs().empty());
  // A key field that takes no input fails without taking the cursor.
  dlu->b132 = '1';
  ent(key).input = 0;
  fp_set_cur_item(pcb, 0);
  set_key("UUUU");
  EXPECT_FALSE(pass());
  EXPECT_EQ(fp_cur_item(pcb), 0);
  EXPECT_EQ(msgs(), std::vector<std::string>{"M300630 Record"});
}

// Automatic display items are shown again from the record as it stands
// while their look-up's display value is within the image's level, and not
// past it.
TEST_F(FpLookup, AutomaticDisplayUpToTheImagesLevel) {
  dlu->display = 2;
  set_key("C001");
  EXPECT_TRUE(pass());
  EXPECT_EQ(row(3).substr(9, 16), "FIRST CUSTOMER  ");
  blot();
  EXPECT_TRUE(pass());
  EXPECT_EQ(row(3).substr(9, 16), "FIRST CUSTOMER  ");
  dlu->display = 1;
  EXPECT_TRUE(pass());
  EXPECT_EQ(row(3).substr(9, 16), std::string(16, '#'));
}

// A key of two items: a change of the second part alone reads again.
TEST_F(FpLookup, SecondKeyPartChangedReadsAgain) {
  int k1 = add({.row = 5, .col = 10, .len = 2});
  int k2 = add({.row = 5, .col = 20, .len = 2});
  EmCdlu d = *dlu;
  d.number = 2;
  d.first_item = uint32_t(k1);
  auto* buf = alloc<EmCdlu>();
  *buf = d;
  PROTO_FULL(em->cdlu.get(), 0, reinterpret_cast<uint8_t*>(buf));
  ASSERT_EQ(fm_write(em->cdlu.get()), 1);
  items[0]->lk_no = 0;  // the one-item look-up is not used here
  for (int n : {k1, k2}) {
    EmCitm* c = items[size_t(n - 1)];
    c->lk_no = 2;
    c->lk_ira = slot(record + (n == k1 ? 0 : 2));
    c->lk_last = n == k2 ? 1 : 0;
  }
  std::memcpy(items[size_t(k1 - 1)]->wm.value.get(), "C0", 2);
  std::memcpy(items[size_t(k2 - 1)]->wm.value.get(), "01", 2);
  EXPECT_TRUE(pass());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record) + 4, 6), "FIRST ");
  blot();
  std::memcpy(items[size_t(k2 - 1)]->wm.value.get(), "02", 2);
  EXPECT_TRUE(pass());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record) + 4, 6), "SECOND");
}

// In INTERACTIVE PHASE 1 the first pass of a level reads only the look-ups
// of the levels below it; the verification pass reads the level's own.
TEST_F(FpLookup, TheFirstPassOfALevelLeavesItsLookUps) {
  a11->phase = 1;
  set_key("C001");
  blot();
  EXPECT_TRUE(pass(true));
  EXPECT_FALSE(read_again());
  EXPECT_TRUE(pass(false));
  EXPECT_TRUE(read_again());
}

// Key entry's first pass reads nothing; an unknown look-up number is a
// system error.
TEST_F(FpLookup, KeyEntryFirstPassAndBadNumbers) {
  SysErrCapture cap(SysErrAnswer::Continue);
  a11->phase = 6;
  set_key("C002");
  EXPECT_TRUE(pass(true));
  EXPECT_EQ(row(3).substr(9, 16), std::string(16, ' '));
  EXPECT_EQ(get_cdlu(pcb, 9), nullptr);
  EXPECT_EQ(cap.last(), "bad get_cdlu");
}

// ------------------------------------------------------------ cursor --
TEST_F(FpItm, CursorPlacementAndTheCurrentField) {
  SysErrCapture cap(SysErrAnswer::Continue);
  int a = add({.row = 2, .col = 10, .len = 6});
  int b = add({.row = 3, .col = 10, .len = 6});
  // The image's start position for level 1 wins over the items.
  rec::view<rec::U32>(reinterpret_cast<uint8_t*>(im->b104.data()) + 8) = 3u;
  rec::view<rec::U32>(reinterpret_cast<uint8_t*>(im->b104.data()) + 12) = 12u;
  pcb->run.curs_req = 0;
  prepare();
  EXPECT_EQ(pcb->run.req_row, 3);
  EXPECT_EQ(pcb->run.req_col, 12);
  pcb->run.curs_row = 3;
  pcb->run.curs_col = 15;
  curs_to_itm_pos(pcb, 1);
  EXPECT_EQ(fp_cur_item(pcb), b);
  pcb->run.curs_col = 16;  // one past the field
  curs_to_itm_pos(pcb, 1);
  EXPECT_EQ(fp_cur_item(pcb), 0);
  pcb->run.curs_row = 2;
  pcb->run.curs_col = 10;
  curs_to_itm_pos(pcb, 1);
  EXPECT_EQ(fp_cur_item(pcb), a);
  // A start position in the image's last cell holds; one past its rows or
  // columns, or row 0, is none: the first field that takes input.
  auto start_at = [&](uint32_t r, uint32_t c) {
    rec::view<rec::U32>(reinterpret_cast<uint8_t*>(im->b104.data()) + 8) = r;
    rec::view<rec::U32>(reinterpret_cast<uint8_t*>(im->b104.data()) + 12) = c;
    pcb->run.curs_req = 0;
    pcb->run.curs_row = 1;
    pcb->run.curs_col = 1;
    prepare();
    return std::make_pair(int(pcb->run.req_row), int(pcb->run.req_col));
  };
  EXPECT_EQ(start_at(kRows, kCols), std::make_pair(kRows, kCols));
  EXPECT_EQ(start_at(kRows + 1, 1), std::make_pair(2, 10));
  EXPECT_EQ(start_at(1, kCols + 1), std::make_pair(2, 10));
  EXPECT_EQ(start_at(0, 5), std::make_pair(2, 10));
  EXPECT_EQ(pcb->run.curs_req, wmshow::kReqField);
  // A menu's cursor stays where it was, even with a field that takes input
  // (display value 0): what is typed off its fields is the option.
  pcb->invoc.type = 1;
  items[size_t(a - 1)]->disp = 0;
  EXPECT_EQ(start_at(0, 5), std::make_pair(1, 1));
  EXPECT_EQ(ent(a).input, 1);
  EXPECT_EQ(pcb->run.curs_req, wmshow::kReqRowCol);
  pcb->invoc.type = 2;
  items[size_t(a - 1)]->disp = 1;
  set_curs_pos(kCursSaved, 0, 0, pcb);
  EXPECT_EQ(pcb->run.curs_req, wmshow::kReqSaved);
  set_curs_pos(3, 1, 1, pcb);
  EXPECT_EQ(cap.last(), "set_curs_pos() - bad type 3");
}

// ---------------------------------------------------------- messages --
TEST_F(FpItm, NewMessagesAgainstThePreviousFile) {
  FmArb* cur = la_create_fi(80, 0);
  FmArb* prev = la_create_fi(80, 0);
  auto put = [](FmArb* f, uint32_t n) { la_add_msg(3, f, n, 0u); };
  int top = -1;
  EXPECT_FALSE(chk_msg(cur, prev, &top));
  EXPECT_EQ(top, 0);
  put(cur, 300080);
  put(prev, 300080);
  EXPECT_FALSE(chk_msg(cur, prev, &top));
  put(cur, 300020);
  EXPECT_TRUE(chk_msg(cur, prev, &top));
  // An error (type 2) is new even when the previous pass had it.
  FmArb* c2 = la_create_fi(80, 0);
  put(c2, 300999);
  put(prev, 300999);
  EXPECT_TRUE(chk_msg(c2, prev, &top));
  EXPECT_EQ(top, 2);
  FmArb* c3 = la_create_fi(80, 0);  // so is a type 3
  put(c3, 300998);
  put(prev, 300998);
  EXPECT_TRUE(chk_msg(c3, prev, &top));
  EXPECT_EQ(top, 3);
  // new_msg swaps the two and empties the old previous file.
  FmArb* a = cur;
  FmArb* b = prev;
  EXPECT_TRUE(new_msg(&a, &b, &top));
  EXPECT_EQ(a, prev);
  EXPECT_EQ(b, cur);
  EXPECT_FALSE(chk_msg(a, b, &top));
  EXPECT_FALSE(new_msg(&b, &a, &top) && false);
}

}  // namespace
