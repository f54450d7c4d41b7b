// Screen compile: frames, images, characteristics, items, look-ups and
// children of a test application written here as dictionary records, each
// compiled record compared byte for byte with the record the layout tables
// give; bad designs refused with their messages; saved and loaded back equal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "design/sefile.h"
#include "files/dictrec.h"
#include "foundation/os.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pc.h"
#include "process/pc_fixture.h"
#include "process/pl_fixture.h"
#include "support/quvo_run.h"
#include "support/stmt_text.h"
#include "support/tmux.h"

namespace {

using pltest::Engine;

// Calls each(record) for every record of memory file `f` in key 0 order.
template <class T, class Each>
void each_rec(FmArb* f, Each each) {
  if (!f) return;
  PcBuf<T> r;
  PROTO_FULL(f, 0, r.bytes());
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = 0;
  while (fm_rdnxt(f)) each(*r);
}
template <class T>
std::vector<T> all(FmArb* f) {
  std::vector<T> v;
  each_rec<T>(f, [&](const T& r) { v.push_back(r); });
  return v;
}

// The test application's dictionary: files CUST (the PCF) and REG (a
// look-up file keyed by a group of two members), and the screens of its
// processes.
int g_serial = 0;
fx::Rec elem(const char* name, const char* file, uint32_t area, int number, int offset, int type, int length,
             fx::Values more = {}) {
  char stamp[32];
  ++g_serial;
  std::snprintf(stamp, sizeof stamp, "2026-04-04T00:%02d:%02d", g_serial / 60 % 60, g_serial % 60);
  fx::Values v = {{"area", std::to_string(area)}, {"work", "0"},       {"name", name},
                  {"kind", "1"},                  {"file", file},      {"number", std::to_string(number)},
                  {"field_no", std::to_string(number)},
                  {"offset", std::to_string(offset)}, {"length", std::to_string(length)}, {"occurs", "1"},
                  {"type", std::to_string(type)}, {"key_kind", "255"}, {"ident_stamp", stamp},
                  {"low_given", "255"},           {"high_given", "255"}, {"rng_code1", "255"},
                  {"rng_code2", "255"}};
  for (auto& m : more) {
    bool replaced = false;
    for (auto& x : v)
      if (x.first == m.first) {
        x.second = m.second;
        replaced = true;
      }
    if (!replaced) v.push_back(m);
  }
  return fx::rec("ELEMENT", v);
}

struct Screen : ::testing::Test {
  Engine e;
  void SetUp() override {
    ii_families_register();
    e.start();
    e.dictionary();
    ASSERT_NO_FATAL_FAILURE(pltest::compiler_setup());
    os_sys_err_log_clear();
    ASSERT_GE(fx::write("ELEMENT", "ABC", "00",
                        {elem("CUST NO", "CUST", 1000005, 1, 0, 1, 6, {{"key_kind", "0"}, {"key_no", "0"}}),
                         elem("CUST NAME", "CUST", 1000005, 2, 6, 1, 20),
                         elem("BALANCE", "CUST", 1000005, 3, 26, 8, 6,
                              {{"decimals", "2"}, {"digits", "9"}, {"sign", "1"}, {"mask", "ZZZ,ZZ9.99-"},
                               {"low_given", "4"}, {"low", "-1000"}, {"high_given", "3"}, {"high", "5000"}}),
                         elem("OPENED", "CUST", 1000005, 4, 32, 6, 4, {{"mask", "0807-06-05"}}),
                         elem("REGION", "CUST", 1000005, 5, 36, 1, 2),
                         elem("DISTRICT", "CUST", 1000005, 6, 38, 1, 2),
                         elem("REG KEY", "REG", 1000006, 1, 0, 1, 4,
                              {{"kind", "2"}, {"domain", "REG B"}, {"key_kind", "0"}, {"key_no", "0"}}),
                         elem("REG A", "REG", 1000006, 2, 0, 1, 2),
                         elem("REG B", "REG", 1000006, 3, 2, 1, 2),
                         elem("REG NAME", "REG", 1000006, 4, 4, 1, 10)}),
              0);
    ASSERT_GE(fx::write("FILE", "ABC", "00",
                        {fx::rec("FILE", {{"name", "CUST"}, {"org", "3"}, {"rec_len", "40"}, {"key_count", "1"},
                                          {"key_elem[1]", "1"}, {"area", "1000005"}, {"area2", "2000009"}}),
                         fx::rec("FILE", {{"name", "REG"}, {"org", "3"}, {"rec_len", "14"}, {"key_count", "1"},
                                          {"key_elem[1]", "1"}, {"area", "1000006"}, {"area2", "2000010"}})}),
              0);
    ASSERT_NO_FATAL_FAILURE(images());
  }
  void TearDown() override { e.stop(); }
  // The INITIAL and NULL images of the files (the loader caches them for
  // every file a module refers to).
  static void images() {
    std::vector<fx::Rec> recs;
    for (auto [name, len] : {std::pair<const char*, size_t>{"CUST    ", 40}, {"REG     ", 14}})
      for (uint8_t kind = 1; kind <= 2; ++kind) {
        fx::Rec r(13 + len, kind == 1 ? ' ' : 'N');
        std::memcpy(r.data(), name, 8);
        r[8] = kind;
        rec::view<rec::U32>(r.data() + 9) = 1u;
        recs.push_back(r);
      }
    ASSERT_EQ(fx::write("INITIAL", "ABC", "00", recs), 4);
  }

  // Writes the process and its screen records.
  void process(const char* name, int type, const std::vector<std::pair<const char*, fx::Rec>>& recs,
               fx::Values more = {}) {
    static int stamps = 0;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "2026-05-05T00:00:%02d", ++stamps % 60);
    fx::Values v = {{"proc_type", std::to_string(type)}, {"proc_name", name}, {"title", "T"},
                    {"flag31", "1"}, {"save_flag", "0"}, {"retention", "50"}, {"added", stamp},
                    {"changed", stamp}};
    if (type != 6) {
      v.push_back({"pcf_app", "ABC"});
      v.push_back({"pcf_file", "CUST"});
    }
    for (auto& m : more) v.push_back(m);
    fx::Rec p = fx::rec("PROCESS", v);
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {p}), 1);
    std::map<std::string, std::vector<fx::Rec>> by;
    for (auto& [file, r] : recs) by[file].push_back(r);
    for (auto& [file, rs] : by) ASSERT_EQ(fx::write(file.c_str(), "ABC", "00", rs), int(rs.size())) << file;
  }
  std::vector<DCmplErr> errors(const char* name, int type) {
    std::vector<DCmplErr> out;
    each_rec<DCmplErr>(pc_cmpl_err_file(), [&](const DCmplErr& r) {
      if (r.proc_name.str() == name && r.proc_type == type) out.push_back(r);
    });
    return out;
  }
  std::string error_text(const char* name, int type) {
    std::string s;
    for (const DCmplErr& r : errors(name, type)) s += pc_cmpl_err_line(r) + "\n";
    return s;
  }
};

constexpr int kInput = 2, kOutput = 3;

// The Input process "IN" of the test application: two frames, images with
// given and missing rows and a row longer than its image, fixed-text
// characteristics, items of alpha (with a mask), numeric (range checks and a
// total), date and look-up fields (a group key over two items), the key item
// of its file, and frame and image children with constraints.
std::vector<std::pair<const char*, fx::Rec>> in_screens() {
  auto own = [](fx::Values v) {
    v.insert(v.begin(), {{"proc_type", "2"}, {"proc_name", "IN"}, {"frame_no", "1"}});
    return v;
  };
  auto img = [&](int n, fx::Values v) {
    v.insert(v.begin(), {"image_no", std::to_string(n)});
    return own(v);
  };
  return {
      {"FRAME", fx::rec("FRAME", own({{"mode", "1"}, {"interactive", "1"}, {"pos[1]", "1"}, {"pos[2]", "1"},
                                      {"pos[3]", "20"}, {"pos[4]", "78"}, {"flag90[2]", "1"}, {"b99", "2"}}))},
      {"IMAGE", fx::rec("IMAGE", img(1, {{"pos[1]", "2"}, {"pos[2]", "3"}, {"pos[3]", "6"}, {"pos[4]", "50"},
                                         {"flag67[1]", "1"}, {"row_step", "32767"}, {"col_step", "2"},
                                         {"b104", "image one"}}))},
      {"IMAGE", fx::rec("IMAGE", img(2, {{"pos[1]", "10"}, {"pos[2]", "1"}, {"pos[3]", "32767"},
                                         {"pos[4]", "32767"}, {"b70", "4"}}))},
      {"ROW", fx::row(kInput, "IN", 1, 1, "Customer")},
      {"ROW", fx::row(kInput, "IN", 1, 3, "Name")},
      {"ROW", fx::row(kInput, "IN", 1, 6, std::string(60, 'x'))},
      {"ROW", fx::row(kInput, "IN", 1, 9, "beyond the image")},
      {"CHR", fx::chr(kInput, "IN", 1, 1, 1, 1, 8, {{"bright", "1"}, {"colour", "32"}})},
      {"CHR", fx::chr(kInput, "IN", 1, 3, 1, 1, 4, {{"uline", "1"}, {"inverse", "1"}, {"colour", "18"}})},
      {"CHR", fx::chr(kInput, "IN", 1, 2, 28, 2, 20, {{"dim", "1"}})},
      {"ITEM", fx::item(kInput, "IN", 1, 1, 12, "ABC", "CUST NO",
                        {{"input", "1"}, {"pcf_key", "1"}, {"display", "2"}, {"colour", "32"}, {"init_key", "0"}})},
      {"ITEM", fx::item(kInput, "IN", 1, 3, 12, "ABC", "CUST NAME",
                        {{"input", "0"}, {"mask", "!!!**!!!!!!!!!!!!!!!"}, {"dflag[3]", "1"}, {"colour", "33"}})},
      {"ITEM", fx::item(kInput, "IN", 1, 2, 30, "ABC", "BALANCE", {{"total", "1"}, {"display", "5"}})},
      {"ITEM", fx::item(kInput, "IN", 1, 4, 12, "ABC", "OPENED", {{"input", "0"}, {"dflag[5]", "1"}})},
      {"ITEM", fx::item(kInput, "IN", 1, 5, 12, "ABC", "REGION",
                        {{"lk_mode", "1"}, {"lk_app", "ABC"}, {"lk_file", "REG"}, {"lk_key", "REG KEY"},
                         {"lk_flag[2]", "1"}, {"display", "3"}})},
      {"ITEM", fx::item(kInput, "IN", 1, 5, 20, "ABC", "DISTRICT", {{"lk_mode", "2"}, {"lk_file", "REG"}})},
      {"CHILD", fx::rec("CHILD", own({{"child_no", "7"}, {"ch_type", "6"}, {"ch_app", "ABC"}, {"ch_name", "SUB"},
                                      {"kind", "1"}, {"reaction", "2"}, {"caller_mode", "1"}, {"flag86", "1"},
                                      {"label", "AB"}, {"display", "4"}, {"cns_app", "ABC"},
                                      {"cns_field", "CUST NO"}, {"q_reuse", "2"}, {"flag150", "1"},
                                      {"b113", "9"}, {"flag114", "1"}}))},
      {"CHILD", fx::rec("CHILD", img(1, {{"disc", "3"}, {"ch_type", "6"}, {"ch_app", "ABC"}, {"ch_name", "SUB"},
                                         {"cns_app", "ABC"}, {"cns_field", "CUST NAME"}}))},
      {"CHILD", fx::rec("CHILD", img(1, {{"disc", "4"}, {"ch_type", "6"}, {"ch_app", "ABC"}, {"ch_name", "SUB"},
                                         {"display", "9"}, {"flag115", "1"}}))},
  };
}

// The index of an area table entry (class and number of an area id, kind,
// sub-area), the oracle of the items' IRAs; 0 when there is none.
uint32_t ira(EmHeader* em, uint32_t area_id, int kind, uint32_t sub) {
  const uint8_t* t = em->area_table.get();
  for (uint32_t i = 1; t && i <= em->n_areas; ++i) {
    const auto& e = rec::view<EmAreaEntry>(const_cast<uint8_t*>(t) + sizeof(EmAreaEntry) * i);
    if (e.aclass == area_id / 1000000 && e.number == area_id % 1000000 && e.kind == kind && e.sub == sub &&
        e.app == std::string_view("ABC"))
      return e.index;
  }
  return 0;
}

// Compares records by their text (every byte shows, field by field).
template <class T>
void expect_records(const char* label, const std::vector<T>& got, const std::vector<T>& want) {
  ASSERT_EQ(got.size(), want.size()) << label;
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(pl_rec_text(label, &got[i]), pl_rec_text(label, &want[i])) << label << " " << i + 1;
}

// A compiled module as the compiler leaves it (not relocated), held by
// its PCB until release().
struct Built {
  Pcb* pcb = nullptr;
  EmHeader* em = nullptr;
  void release() {
    if (pcb && pcb->module) pl_release(pcb);
    em = nullptr;
  }
};
Built build(Engine& e, const char* name, int type) {
  Built b;
  b.pcb = e.pcb(name, 2, type);
  PcBuf<DProc> def;
  FmFdb ident;
  uint32_t st = 0;
  EXPECT_EQ(read_dproc(b.pcb->invoc, def.p, &ident, &st), 1);
  if (build_em(def.p, b.pcb, 0)) b.em = b.pcb->module.get();
  return b;
}

EmCfi cfi_of(EmHeader* em, const char* name) {
  EmCfi r{};
  each_rec<EmCfi>(em->cfi.get(), [&](const EmCfi& c) {
    if (c.fdb.name == std::string_view(name)) r = c;
  });
  return r;
}

// The expected item: the Part's fields; the conversion item's own bytes
// (the conversion layer's, checked there) are taken from `got` and looked
// at for the field's type, width and mask.
EmCitm item_of(const EmCitm& got, uint32_t image, int row, int col, int cols, uint8_t type, const char* mask) {
  EmCitm w;
  std::memset(static_cast<void*>(&w), 0, sizeof w);
  auto* cv = reinterpret_cast<const CvItem*>(reinterpret_cast<const uint8_t*>(&got) + 12);
  EXPECT_EQ(cv->type, type);
  EXPECT_EQ(int(cv->cols), cols);
  EXPECT_EQ(cv->mask.str(), mask);
  std::memcpy(reinterpret_cast<uint8_t*>(&w) + 28, reinterpret_cast<const uint8_t*>(&got) + 28, 168);
  w.wm.handle = image;
  w.wm.row = row;
  w.wm.col = col;
  w.wm.summary = 1;
  w.wm.cnv_one = 1;
  w.wm.source = 1;
  w.wm.needs_cnv = 1;
  w.last_row = row;
  w.last_col = col + cols - 1;
  w.app.set("ABC");
  w.occ = uint16_t(1);
  w.area = 1000005u;
  w.range_ep = 0xFFFFu;
  for (auto& c : w.secr) c = 0xFFFFFFFFu;
  w.text1.clear();
  w.text2.clear();
  return w;
}

TEST_F(Screen, InputProcessCompilesToTheLayoutTables) {
  process("SUB", 6, {});
  process("IN", kInput, in_screens());
  Built b = build(e, "IN", kInput);
  ASSERT_NE(b.em, nullptr) << error_text("IN", kInput);
  EmHeader* em = b.em;
  // The one error: the image child whose constraint is no key is left out,
  // and the compile is good.
  auto errs = errors("IN", kInput);
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].kind, 4u);
  EXPECT_EQ(errs[0].msg, 102140u);
  EXPECT_EQ(errs[0].name.str(), "CUST NAME");
  EXPECT_EQ(em->n_frames, 1u);
  EXPECT_EQ(em->n_images, 3u);   // the next free image sequence
  EXPECT_EQ(em->n_items, 6u);
  EXPECT_EQ(em->n_children, 3u);  // the last sequence taken (2 was left out)
  // Frames.
  EmCfrm f;
  std::memset(static_cast<void*>(&f), 0, sizeof f);
  f.number = 1u;
  f.seq = 1u;
  f.mode = 1;
  f.interactive = 1;
  for (int i = 0; i < 4; ++i) f.pos[i] = i < 2 ? 1 : (i == 2 ? 20 : 78);
  f.flag90[1] = 1;
  f.b99 = 2;
  f.grp_app.clear();
  f.grp_name.clear();
  f.first_img = uint16_t(1);
  f.last_img = uint16_t(2);
  f.first_chld = uint16_t(1);
  f.last_chld = uint16_t(1);
  for (auto& x : f.eps) x = 0xFFFFu;
  expect_records<EmCfrm>("CFRM", all<EmCfrm>(em->cfrm.get()), {f});
  // Images: the first placed in its frame, the second filling the frame
  // from its row.
  auto images = all<EmCimg>(em->cimg.get());
  ASSERT_EQ(images.size(), 2u);
  EmCimg i1;
  std::memset(static_cast<void*>(&i1), 0, sizeof i1);
  i1.frame_seq = 1u;
  i1.image_no = 1u;
  i1.row = 2;
  i1.col = 3;
  i1.rows = i1.rows2 = 6;
  i1.cols = i1.cols2 = 50;
  i1.flag67[0] = 1;
  i1.col_step = 2;
  i1.b104.set("image one");
  i1.seq = 1u;
  i1.text = images[0].text;
  i1.first_item = uint16_t(1);
  i1.last_item = uint16_t(6);
  i1.display = 9;   // the image child's display value, above the items'
  for (auto& x : i1.eps) x = 0xFFFFu;
  EXPECT_NE(images[0].tot_ep.get(), 0xFFFFu);   // the total's statements
  i1.tot_ep = images[0].tot_ep;
  i1.totals = 1;
  EmCimg i2 = i1;
  i2.image_no = 2u;
  i2.row = 10;
  i2.col = 1;
  i2.rows = i2.rows2 = 11;
  i2.cols = i2.cols2 = 78;
  i2.flag67[0] = 0;
  i2.stack = 4;
  i2.col_step = 0;
  i2.b104.clear();
  i2.seq = 2u;
  i2.text = images[1].text;
  i2.first_item = i2.last_item = uint16_t(0);
  i2.display = 0;
  i2.tot_ep = 0xFFFFu;
  i2.totals = 0;
  expect_records<EmCimg>("CIMG", images, {i1, i2});
  // The screen text: missing rows blank, the long row cut at the width,
  // the row beyond the image left out.
  ASSERT_NE(images[0].text.get(), nullptr);
  std::string text(images[0].text.get(), 300);
  auto row = [](std::string t) { return t.append(50 - t.size(), ' '); };
  EXPECT_EQ(text, row("Customer") + row("") + row("Name") + row("") + row("") + std::string(50, 'x'));
  ASSERT_NE(images[1].text.get(), nullptr);
  EXPECT_EQ(std::string(images[1].text.get(), 11 * 78), std::string(11 * 78, ' '));
  // Characteristics: the fixed text's runs (a blank colour is 0), split
  // where items take their cells.
  auto chr = [](int row, int col, int cols, uint32_t attr, uint8_t colour = 0, int irow = 0, int icol = 0) {
    EmCchr c;
    std::memset(static_cast<void*>(&c), 0, sizeof c);
    c.handle = 1u;
    c.row = row;
    c.col = col;
    c.rows = 1;
    c.cols = cols;
    c.attr = attr;
    c.colour = colour;
    c.item_row = irow;
    c.item_col = icol;
    return c;
  };
  const uint32_t dim = wa::kDim, in = wa::kInput;
  expect_records<EmCchr>(
      "CCHR", all<EmCchr>(em->cchr.get()),
      {chr(1, 1, 8, wa::kBright), chr(1, 12, 6, in | wa::kInput2, 0, 1, 12), chr(2, 28, 2, dim),
       chr(2, 30, 11, dim, 0, 2, 30), chr(2, 41, 7, dim), chr(3, 1, 4, wa::kUnderline | wa::kInverse, 18),
       // the alpha mask's '*' run takes the literal attributes
       chr(3, 12, 3, in | wa::kBright, 33, 3, 12), chr(3, 15, 2, 0, 33, 3, 12),
       chr(3, 17, 11, in | wa::kBright, 33, 3, 12), chr(3, 28, 4, dim | in | wa::kBright, 33, 3, 12),
       chr(3, 32, 16, dim),
       // the date's units and its literal dashes
       chr(4, 12, 2, in | 0x30, 0, 4, 12), chr(4, 14, 2, in | 0x30, 0, 4, 12), chr(4, 16, 1, 0x30, 0, 4, 12),
       chr(4, 17, 2, in | 0x30, 0, 4, 12), chr(4, 19, 1, 0x30, 0, 4, 12), chr(4, 20, 2, in | 0x30, 0, 4, 12),
       chr(5, 12, 2, 0, 0, 5, 12), chr(5, 20, 2, 0, 0, 5, 20)});
  // Items.
  auto items = all<EmCitm>(em->citm.get());
  ASSERT_EQ(items.size(), 6u);
  const uint32_t cust = 1000005, reg = 1000006;
  const uint32_t file_no = em->pcf_file;
  std::vector<EmCitm> want;
  {
    EmCitm w = item_of(items[0], 1, 1, 12, 6, 1, "");
    w.wm.ira_area = w.wm.ira_sub = w.sub_ira = ira(em, cust, 0, 0);
    w.wm.reference = file_no;
    w.attr = in | wa::kInput2;
    w.attr_mask = wa::kInputExtra | in | wa::kInput2;
    w.item_no = uint16_t(1);
    w.disp = 2;
    w.use = 1;
    w.field.set("CUST NO");
    w.pcf_fld = uint16_t(1);
    w.input = 1;
    w.pcf_key = 1u;
    want.push_back(w);
  }
  {
    EmCitm w = item_of(items[1], 1, 2, 30, 11, 8, "ZZZ,ZZ9.99-");
    w.wm.ira_area = ira(em, cust, 0, 0);
    w.wm.ira_sub = w.sub_ira = w.wm.total_ira = ira(em, cust, 0, 26);
    w.wm.reference = file_no | 26u << 16;
    w.attr_mask = wa::kInputExtra | wa::kInput2;
    w.item_no = uint16_t(2);
    w.disp = 5;
    w.flag = 1;   // a number without a default
    w.use = 1;
    w.field.set("BALANCE");
    w.offset = 26u;
    w.pcf_fld = uint16_t(3);
    EXPECT_NE(items[1].range_ep.get(), 0xFFFFu);
    w.range_ep = items[1].range_ep;
    w.total[0] = 1;
    want.push_back(w);
  }
  {
    EmCitm w = item_of(items[2], 1, 3, 12, 20, 1, "!!!**!!!!!!!!!!!!!!!");
    w.wm.ira_area = ira(em, cust, 0, 0);
    w.wm.ira_sub = w.sub_ira = ira(em, cust, 0, 6);
    w.wm.reference = file_no | 6u << 16;
    w.attr = in | wa::kBright;
    w.attr_mask = wa::kInputExtra | in | wa::kBright;
    w.colour = 33;
    w.item_no = uint16_t(3);
    w.use = 1;
    w.field.set("CUST NAME");
    w.offset = 6u;
    w.pcf_fld = uint16_t(2);
    w.input = 1;
    want.push_back(w);
  }
  {
    EmCitm w = item_of(items[3], 1, 4, 12, 10, 6, "0807-06-05");
    w.wm.ira_area = ira(em, cust, 0, 0);
    w.wm.ira_sub = w.sub_ira = ira(em, cust, 0, 32);
    w.wm.reference = file_no | 32u << 16;
    w.attr = in | 0x30;
    w.attr_mask = wa::kInputExtra | in | 0x30;
    w.item_no = uint16_t(4);
    w.use = 1;
    w.field.set("OPENED");
    w.offset = 32u;
    w.pcf_fld = uint16_t(4);
    EXPECT_NE(items[3].range_ep.get(), 0xFFFFu);   // the date's zero check
    w.range_ep = items[3].range_ep;
    w.input = 1;
    want.push_back(w);
  }
  for (int k = 0; k < 2; ++k) {
    EmCitm w = item_of(items[4 + k], 1, 5, k ? 20 : 12, 2, 1, "");
    uint32_t off = k ? 38 : 36;
    w.wm.ira_area = ira(em, cust, 0, 0);
    w.wm.ira_sub = w.sub_ira = ira(em, cust, 0, off);
    w.wm.reference = file_no | off << 16;
    w.attr_mask = wa::kInputExtra | wa::kInput2 | 0x80000u;   // scannable
    w.item_no = uint16_t(5 + k);
    w.disp = uint8_t(k ? 0 : 3);
    w.field.set(k ? "DISTRICT" : "REGION");
    w.offset = off;
    w.pcf_fld = uint16_t(5 + k);
    w.lk_no = uint16_t(1);
    w.lk_ira = ira(em, reg, 4, k ? 2u : 0u);   // the group key's members
    w.lk_last = uint8_t(k);
    want.push_back(w);
  }
  expect_records<EmCitm>("CITM", items, want);
  // The look-up, written when its second item completed the group key.
  EmCdlu d;
  std::memset(static_cast<void*>(&d), 0, sizeof d);
  d.number = uint16_t(1);
  d.ctl_ira = cfi_of(em, "REG").ctl_ira;
  d.flag130 = 1;
  d.area = ira(em, reg, 4, 0);
  d.first_item = 5u;
  d.display = 3;
  d.b132 = ' ';
  expect_records<EmCdlu>("CDLU", all<EmCdlu>(em->cdlu.get()), {d});
  EXPECT_EQ(cfi_of(em, "REG").lookup, 1u);
  // Children: the frame's (its constraint a key) and the second image
  // child (the first one's constraint is no key).
  EmCchld c1;
  std::memset(static_cast<void*>(&c1), 0, sizeof c1);
  c1.seq = 1u;
  c1.frame_seq = 1u;
  c1.child_no = 7u;
  PiInvoc& v = c1.invoc;
  v.app.set("ABC");
  v.ver.set("00");
  v.type = 6;
  v.name.set("SUB");
  v.kind = 1;
  v.caller_mode = 1;
  v.child_fail_mode = 2;
  v.independent = 1;
  v.reserved_text.set("AB");
  v.reserved2 = 9;
  v.key_path = 0;   // CUST NO's key
  v.query_app.clear();
  v.query_name.clear();
  v.reserved3 = 1;
  v.query_reuse = 2;
  v.pcf_app.set("ABC");
  v.pcf_file = cust;
  c1.display = 4;
  c1.flag114 = 1;
  for (auto& x : c1.eps) x = 0xFFFFu;
  EmCchld c3 = c1;
  c3.seq = 3u;
  c3.child_no = 0u;
  c3.image_seq = 1u;
  c3.disc = 4;
  std::memset(static_cast<void*>(&c3.invoc), 0, sizeof c3.invoc);
  c3.invoc.app.set("ABC");
  c3.invoc.ver.set("00");
  c3.invoc.type = 6;
  c3.invoc.name.set("SUB");
  c3.invoc.reserved_text.clear();
  c3.invoc.key_path = 255;
  c3.invoc.query_app.clear();
  c3.invoc.query_name.clear();
  c3.invoc.pcf_app.clear();
  c3.display = 9;
  c3.flag114 = 0;
  c3.flag115 = 1;
  expect_records<EmCchld>("CCHLD", all<EmCchld>(em->cchld.get()), {c1, c3});
  // The key item in the header.
  const PcKeyItem& k = pc_pcf_cmpl(em).key_item;
  EXPECT_EQ(k.key_no, 0);
  EXPECT_EQ(k.type, 1);
  EXPECT_EQ(k.length.get(), 6u);
  b.release();
}

// The Output process "OUT": report frames of several codes (two of a frame
// group, a stacking one with two images, a text frame), the standard frames
// and children its definition asks for, and the report process's child.
std::vector<std::pair<const char*, fx::Rec>> out_screens() {
  auto frame = [](int code, int no, fx::Values v) {
    v.insert(v.begin(), {{"proc_type", "3"}, {"proc_name", "OUT"}, {"frame_code", std::to_string(code)},
                         {"frame_no", std::to_string(no)}, {"mode", "1"}});
    return std::pair<const char*, fx::Rec>{"FRAME", fx::rec("FRAME", v)};
  };
  auto image = [](int code, int no, int image_no, fx::Values v) {
    v.insert(v.begin(), {{"proc_type", "3"}, {"proc_name", "OUT"}, {"frame_code", std::to_string(code)},
                         {"frame_no", std::to_string(no)}, {"image_no", std::to_string(image_no)}});
    return std::pair<const char*, fx::Rec>{"IMAGE", fx::rec("IMAGE", v)};
  };
  std::string text = "Hello";
  text += '\0';
  text += "world";
  fx::Rec tf = fx::rec("FRAME", {{"proc_type", "3"}, {"proc_name", "OUT"}, {"frame_code", "8"},
                                 {"frame_no", "1"}, {"mode", "1"}, {"flag131", "1"}});
  std::memcpy(tf.data() + 136, text.data(), text.size());
  return {
      frame(1, 1, {{"b99", "1"}, {"interactive", "1"}}),
      image(1, 1, 1, {{"pos[3]", "1"}, {"pos[4]", "10"}}),
      frame(2, 1, {{"b99", "1"}, {"b100", "255"}, {"grp_app", "ABC"}, {"grp_name", "G1"}}),
      frame(2, 2, {{"b99", "2"}, {"grp_app", "ABC"}, {"grp_name", "G1"}}),
      frame(3, 1, {{"stack", "1"}, {"pos[1]", "1"}, {"pos[2]", "1"}, {"pos[3]", "10"}, {"pos[4]", "40"}}),
      image(3, 1, 1, {{"pos[3]", "3"}, {"pos[4]", "20"}, {"row_step", "4"}}),
      image(3, 1, 2, {{"pos[3]", "2"}, {"pos[4]", "30"}}),
      {"FRAME", tf},
      frame(14, 1, {{"interactive", "1"}}),
  };
}

TEST_F(Screen, OutputProcessGetsStandardFramesAndChildren) {
  process("RPT", kOutput, {});
  process("OUT", kOutput, out_screens(),
          {{"flag380[1]", "1"}, {"flag380[2]", "1"}, {"rpt_app", "ABC"}, {"rpt_name", "RPT"}});
  Built b = build(e, "OUT", kOutput);
  ASSERT_NE(b.em, nullptr) << error_text("OUT", kOutput);
  EmHeader* em = b.em;
  EXPECT_EQ(error_text("OUT", kOutput), "");
  auto frame = [](int code, uint32_t no, uint32_t seq) {
    EmCfrm f;
    std::memset(static_cast<void*>(&f), 0, sizeof f);
    f.code = uint8_t(code);
    f.number = no;
    f.seq = seq;
    f.mode = 1;
    f.grp_app.clear();
    f.grp_name.clear();
    for (auto& x : f.eps) x = 0xFFFFu;
    return f;
  };
  EmCfrm f1 = frame(1, 1, 1);   // interactive only in a frame of code 14
  f1.b99 = 1;
  f1.first_chld = f1.last_chld = uint16_t(3);   // its standard child; its image given up
  EmCfrm f2 = frame(2, 1, 2), f3 = frame(2, 2, 3);
  for (EmCfrm* g : {&f2, &f3}) {
    g->grp_app.set("ABC");
    g->grp_name.set("G1");
    g->grp_no = uint16_t(1);
  }
  f2.b99 = 1;
  f2.b100 = 255;  // as the generated frames have it: the standard child all the same
  f2.next = 3u;   // the next frame of its group
  f2.first_chld = f2.last_chld = uint16_t(4);
  f3.b99 = 2;    // code 2 with 2 has no standard child: the frame stays as it was
  EmCfrm f4 = frame(3, 1, 4);
  f4.scroll = 1;
  f4.pos[0] = f4.pos[1] = 1;
  f4.pos[2] = 10;
  f4.pos[3] = 40;
  f4.ext_rows = 7;   // the row step and rows of its first image
  f4.ext_cols = 30;
  f4.first_img = uint16_t(2);
  f4.last_img = uint16_t(3);
  EmCfrm f5 = frame(8, 1, 5);
  f5.text_len = uint16_t(11);
  f5.flag131 = 1;
  EmCfrm f6 = frame(14, 1, 6);
  f6.interactive = 1;
  std::vector<EmCfrm> frames = all<EmCfrm>(em->cfrm.get());
  ASSERT_EQ(frames.size(), 9u);
  EXPECT_NE(frames[4].text_cnst.get(), 0u);
  f5.text_cnst = frames[4].text_cnst;
  std::vector<EmCfrm> want{f1, f2, f3, f4, f5, f6};
  for (auto [code, seq, chld] : {std::tuple{10, 7, 1}, std::tuple{11, 8, 2}, std::tuple{13, 9, 5}}) {
    EmCfrm s = frame(code, 0, uint32_t(seq));
    for (auto& p : s.pos) p = 1;
    s.b100 = 255;
    s.first_chld = s.last_chld = uint16_t(chld);
    want.push_back(s);
  }
  expect_records<EmCfrm>("CFRM", frames, want);
  // The text frame's constant: NUL became a blank.
  uint8_t* c = MADDR(em->cnst.get(), f5.text_cnst);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(c), 11), "Hello world");
  // The stacking frame's images at its origin.
  auto images = all<EmCimg>(em->cimg.get());
  ASSERT_EQ(images.size(), 3u);
  for (int k = 1; k < 3; ++k) {
    EXPECT_EQ(images[size_t(k)].row, 1);
    EXPECT_EQ(images[size_t(k)].col, 1);
    EXPECT_EQ(images[size_t(k)].stack, 1);
  }
  EXPECT_EQ(images[1].row_step, 4);
  // The standard children, each a ready invocation of "0LA".
  auto child = [](uint32_t seq, uint32_t frame_seq, const char* app, const char* name) {
    EmCchld r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.seq = seq;
    r.frame_seq = frame_seq;
    PiInvoc& v = r.invoc;
    v.app.set(app);
    v.ver.set("00");
    v.type = 3;
    v.name.set(name);
    v.caller_mode = 1;
    v.child_fail_mode = 3;
    v.reserved_text.clear();
    v.reserved2 = 255;
    v.key_path = 255;
    v.query_app.clear();
    v.query_name.clear();
    v.query_reuse = 1;
    v.pcf_app.clear();
    for (auto& x : r.eps) x = 0xFFFFu;
    return r;
  };
  expect_records<EmCchld>("CCHLD", all<EmCchld>(em->cchld.get()),
                          {child(1, 7, "0LA", "STANDARD PAGE HEADING"), child(2, 8, "0LA", "STANDARD COLUMN HEADING"),
                           child(3, 1, "0LA", "STANDARD SUBHEADING"), child(4, 2, "0LA", "STANDARD SUBTOTAL"),
                           child(5, 9, "ABC", "RPT")});
  EXPECT_EQ(em->n_children, 5u);
  b.release();
}

// Bad designs are named when the process compiles, each with its message,
// and the compile fails with 200140.
TEST_F(Screen, BadDesignsAreRefusedWithTheirMessages) {
  auto own = [](const char* name, fx::Values v, int image = 0) {
    v.insert(v.begin(), {{"proc_type", "2"}, {"proc_name", name}, {"frame_no", "1"}});
    if (image) v.push_back({"image_no", std::to_string(image)});
    return v;
  };
  auto frame = [&](const char* name, fx::Values more = {}) {
    fx::Values v{{"mode", "1"}, {"pos[1]", "1"}, {"pos[2]", "1"}, {"pos[3]", "20"}, {"pos[4]", "300"}};
    for (auto& m : more) v.push_back(m);
    return std::pair<const char*, fx::Rec>{"FRAME", fx::rec("FRAME", own(name, v))};
  };
  auto image = [&](const char* name, int rows, int cols, fx::Values more = {}) {
    fx::Values v{{"pos[1]", "1"}, {"pos[2]", "1"}, {"pos[3]", std::to_string(rows)}, {"pos[4]", std::to_string(cols)}};
    for (auto& m : more) v.push_back(m);
    return std::pair<const char*, fx::Rec>{"IMAGE", fx::rec("IMAGE", own(name, v, 1))};
  };
  auto item = [&](const char* name, int row, int col, const char* field) {
    return std::pair<const char*, fx::Rec>{"ITEM", fx::item(kInput, name, 1, row, col, "ABC", field)};
  };
  auto chr = [&](const char* name, int row, int col, int rows, int cols) {
    return std::pair<const char*, fx::Rec>{"CHR", fx::chr(kInput, name, 1, row, col, rows, cols)};
  };
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, fx::Rec>> recs;
    std::vector<std::pair<uint32_t, uint32_t>> errors;   // kind, message
  };
  std::vector<Case> cases{
      // An item passing its image's right edge.
      {"B1", {frame("B1"), image("B1", 2, 10), item("B1", 1, 8, "CUST NO")}, {{5, 101900}}},
      // Items placed before the image's first row or column.
      {"BA", {frame("BA"), image("BA", 2, 10), item("BA", 0, 1, "REGION"), item("BA", 1, 0, "DISTRICT")},
       {{5, 101900}, {5, 101900}}},
      // Two items of two fields on one cell (the first's field sorting
      // before the second's); an item on fixed text.
      {"B2",
       {frame("B2"), image("B2", 2, 40), item("B2", 1, 10, "BALANCE"), item("B2", 1, 12, "CUST NO"),
        {"ROW", fx::row(kInput, "B2", 1, 2, "  Text")}, item("B2", 2, 3, "REGION")},
       {{5, 101890}, {5, 101890}}},
      // A field that does not exist.
      {"B3", {frame("B3"), image("B3", 2, 40), item("B3", 1, 1, "NO SUCH FIELD")}, {{5, 102080}}},
      // An image outside its frame; one placed above its frame's first row
      // (a place below 1; 0 and 32767 are "not given").
      {"B4", {frame("B4"), image("B4", 30, 40)}, {{3, 102000}}},
      {"B9", {frame("B9"), image("B9", 2, 40, {{"pos[1]", "-1"}})}, {{3, 102000}}},
      // An image one column wider than its frame; an image of no rows.
      {"BB", {frame("BB"), image("BB", 2, 301)}, {{3, 102000}}},
      {"BC", {frame("BC"), image("BC", 0, 10)}, {{3, 102000}}},
      // Characters overlapping on other rows than the first run's, a run
      // past the image, past column 256 (in an image that wide) and one
      // narrower than a cell.
      {"B5",
       {frame("B5"), image("B5", 3, 300), chr("B5", 1, 1, 2, 10), chr("B5", 2, 5, 1, 3), chr("B5", 3, 295, 1, 7),
        chr("B5", 3, 250, 1, 10), chr("B5", 3, 20, 1, 0)},
       {{6, 101950}, {6, 101950}, {6, 101950}, {6, 101950}}},
      // Look-ups: a further item with no look-up open, a look-up key that
      // is no key of its file, a look-up display item of a file with no
      // look-up; a key item of a field outside the file's key.
      {"B8",
       {frame("B8"), image("B8", 2, 40),
        {"ITEM", fx::item(kInput, "B8", 1, 1, 1, "ABC", "REGION", {{"lk_mode", "2"}, {"lk_file", "REG"}})},
        {"ITEM", fx::item(kInput, "B8", 1, 1, 5, "ABC", "DISTRICT",
                          {{"lk_mode", "1"}, {"lk_file", "REG"}, {"lk_key", "REG NAME"}})},
        {"ITEM", fx::item(kInput, "B8", 1, 2, 1, "ABC", "REG NAME", {{"use", "2"}})},
        {"ITEM", fx::item(kInput, "B8", 1, 2, 20, "ABC", "CUST NAME", {{"pcf_key", "1"}})}},
       {{5, 103340}, {5, 102900}, {5, 103340}, {5, 102130}}},
      // An image of more cells than a screen text may have (16M: one past).
      {"B7", {{"FRAME", fx::frame(kInput, "B7", 1)}, {"IMAGE", fx::image(kInput, "B7", 1, 4096, 4097)}},
       {{3, 102000}}},
      // A stacking frame of 20 rows: an image of its height compiles, one
      // a row taller is refused.
      {"BF",
       {frame("BF", {{"stack", "1"}}), image("BF", 20, 10), {"IMAGE", fx::image(kInput, "BF", 2, 21, 10)}},
       {{3, 102000}}},
      // An image row longer than a record may be.
      {"BD", {{"FRAME", fx::frame(kInput, "BD", 1)}, {"IMAGE", fx::image(kInput, "BD", 1, 1, 32768)}},
       {{3, 102000}}},
      // Frame values one past their ranges (mode below 1, class 12 and one
      // past 14, stacking above 4, byte 99 above 2); a frame at the upper
      // limits of all of them compiles.
      {"BE",
       {frame("BE", {{"mode", "0"}}), frame("BE", {{"frame_no", "5"}, {"stack", "5"}}),
        frame("BE", {{"frame_no", "6"}, {"b99", "3"}}), frame("BE", {{"frame_code", "12"}, {"frame_no", "2"}}),
        frame("BE", {{"frame_code", "14"}, {"frame_no", "4"}, {"mode", "3"}, {"stack", "4"}, {"b99", "2"}}),
        frame("BE", {{"frame_code", "15"}, {"frame_no", "3"}})},
       {{2, 101920}, {2, 101930}, {2, 101940}, {2, 100850}, {2, 100850}}},
      // A frame mode outside 1-3; a stacking frame after an interactive one.
      {"B6",
       {frame("B6", {{"mode", "4"}, {"interactive", "1"}}),
        {"FRAME", fx::rec("FRAME", {{"proc_type", "2"}, {"proc_name", "B6"}, {"frame_no", "2"}, {"mode", "1"},
                                    {"stack", "1"}})}},
       {{2, 101920}, {2, 102220}}},
  };
  // (The dictionary first: the loader keeps the PROCESS file open.)
  for (const Case& c : cases) process(c.name, kInput, c.recs);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pcb* p = e.pcb(c.name, 2, kInput);
    EXPECT_EQ(pl_get(p, 0), 0);
    EXPECT_EQ(p->invoc.completion, 200140);
    auto errs = errors(c.name, kInput);
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (const DCmplErr& r : errs) got.emplace_back(r.kind, r.msg);
    EXPECT_EQ(got, c.errors) << error_text(c.name, kInput);
  }
  EXPECT_TRUE(os_sys_err_log().empty());
}

// An item that starts below its image's last row or right of its last
// column is passed over without an error; one ending on the image's last
// row and column, and one ending just left of fixed text, are compiled.
TEST_F(Screen, ItemsAtTheImageEdgesAndBesideFixedText) {
  process("PO", kInput,
          {{"FRAME", fx::frame(kInput, "PO", 1)},
           {"IMAGE", fx::image(kInput, "PO", 1, 2, 10)},
           {"ROW", fx::row(kInput, "PO", 1, 1, "    Te")},
           {"ITEM", fx::item(kInput, "PO", 1, 3, 1, "ABC", "CUST NO")},
           {"ITEM", fx::item(kInput, "PO", 1, 1, 11, "ABC", "CUST NAME")},
           {"ITEM", fx::item(kInput, "PO", 1, 1, 3, "ABC", "REGION")},
           {"ITEM", fx::item(kInput, "PO", 1, 2, 9, "ABC", "DISTRICT")}});
  Built b = build(e, "PO", kInput);
  ASSERT_NE(b.em, nullptr) << error_text("PO", kInput);
  EXPECT_TRUE(errors("PO", kInput).empty()) << error_text("PO", kInput);
  EXPECT_EQ(b.em->n_items, 2u);
  auto items = all<EmCitm>(b.em->citm.get());
  ASSERT_EQ(items.size(), 2u);
  std::vector<std::tuple<std::string, int, int, int, int>> got;
  for (const EmCitm& c : items)
    got.emplace_back(c.field.str(), c.wm.row.get(), c.wm.col.get(), c.last_row.get(), c.last_col.get());
  EXPECT_EQ(got, (std::vector<std::tuple<std::string, int, int, int, int>>{{"REGION", 1, 3, 1, 4},
                                                                           {"DISTRICT", 2, 9, 2, 10}}));
  b.release();
}

// A child left out for its constraint moves no first or last child of its
// frame, and fails no compile.
TEST_F(Screen, ChildLeftOutChangesNoFrame) {
  auto child = [](int no, const char* cns) {
    return std::pair<const char*, fx::Rec>{
        "CHILD", fx::rec("CHILD", {{"proc_type", "2"}, {"proc_name", "CH"}, {"frame_no", "1"},
                                   {"child_no", std::to_string(no)}, {"ch_type", "6"}, {"ch_app", "ABC"},
                                   {"ch_name", "SUB"}, {"cns_app", cns[0] ? "ABC" : ""}, {"cns_field", cns}})};
  };
  process("SUB", 6, {});
  process("CH", kInput, {{"FRAME", fx::frame(kInput, "CH", 1)}, child(1, "CUST NAME"), child(2, ""),
                         child(3, "BALANCE")});
  Built b = build(e, "CH", kInput);
  ASSERT_NE(b.em, nullptr);
  auto frames = all<EmCfrm>(b.em->cfrm.get());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].first_chld, 2u);
  EXPECT_EQ(frames[0].last_chld, 2u);
  auto kids = all<EmCchld>(b.em->cchld.get());
  ASSERT_EQ(kids.size(), 1u);
  EXPECT_EQ(kids[0].seq, 2u);
  EXPECT_EQ(errors("CH", kInput).size(), 2u);
  b.release();
}

// A frame's first and last child are the first and last of its children
// written.
TEST_F(Screen, FrameNamesItsFirstAndLastChild) {
  auto child = [](int no, int kind) {
    return std::pair<const char*, fx::Rec>{
        "CHILD", fx::rec("CHILD", {{"proc_type", "2"}, {"proc_name", "CK"}, {"frame_no", "1"},
                                   {"child_no", std::to_string(no)}, {"ch_type", "6"}, {"ch_app", "ABC"},
                                   {"ch_name", "SUB"}, {"kind", std::to_string(kind)}})};
  };
  process("SUB", 6, {});
  process("CK", kInput, {{"FRAME", fx::frame(kInput, "CK", 1)}, child(1, 2), child(3, 0)});
  Built b = build(e, "CK", kInput);
  ASSERT_NE(b.em, nullptr) << error_text("CK", kInput);
  auto kids = all<EmCchld>(b.em->cchld.get());
  ASSERT_EQ(kids.size(), 2u);
  EXPECT_EQ(kids[0].seq, 1u);
  EXPECT_EQ(kids[0].child_no, 1u);
  EXPECT_EQ(kids[0].invoc.kind, 2);
  EXPECT_EQ(kids[1].seq, 2u);
  EXPECT_EQ(kids[1].child_no, 3u);
  EXPECT_EQ(b.em->n_children, 2u);
  auto frames = all<EmCfrm>(b.em->cfrm.get());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].first_chld, 1u);
  EXPECT_EQ(frames[0].last_chld, 2u);
  b.release();
}

// A module of screens saved and loaded back equals a fresh compile: every
// screen record, and each image's screen text (saved as rows, the record
// keeping no reference).
TEST_F(Screen, SavedModuleLoadsBackEqual) {
  process("SUB", 6, {});
  process("IN", kInput, in_screens(), {{"save_flag", "1"}});
  Pcb* p = e.pcb("IN", 2, kInput);
  ASSERT_EQ(pl_get(p, 0), 1);   // compiled and saved
  pl_release(p);
  Built fresh = build(e, "IN", kInput);
  ASSERT_NE(fresh.em, nullptr);
  Pcb* q = e.pcb("IN", 2, kInput);
  PcBuf<DProc> def;
  FmFdb ident;
  uint32_t st = 0;
  ASSERT_EQ(read_dproc(q->invoc, def.p, &ident, &st), 1);
  ASSERT_EQ(load_em(def.p, q), 1) << q->invoc.completion;
  EmHeader* loaded = q->module.get();
  auto texts = [](EmHeader* em) {
    std::vector<std::string> out;
    for (const char* label : {"CFRM", "CCHR", "CCHLD", "CITM", "CDLU"}) {
      Ref<FmArb> EmHeader::*slot = em_sub(label)->slot;
      FmArb* f = (em->*slot).get();
      PcBuf<uint8_t> r(400);
      PROTO_FULL(f, 0, r.bytes());
      f->op = FM_OP_FIRST;
      fm_start(f);
      f->op = 0;
      while (fm_rdnxt(f)) out.push_back(std::string(label) + " " + pl_rec_text(label, r.bytes()));
    }
    for (EmCimg r : all<EmCimg>(em->cimg.get())) {
      std::string text(r.text.get(), size_t(r.rows) * size_t(r.cols));
      r.text.reset();
      out.push_back("CIMG " + pl_rec_text("CIMG", &r) + " text=" + text);
    }
    return out;
  };
  std::vector<std::string> a = texts(fresh.em), b = texts(loaded);
  EXPECT_EQ(a.size(), 1u + 19u + 2u + 6u + 1u + 2u);
  EXPECT_EQ(a, b);
  pl_release(q);
  fresh.release();
}

// The runtime application's processes compile: the start-up menu and the
// Input processes its options run.
TEST(ScreenSystem, RuntimeProcessesCompile) {
  std::string root, data;
  ASSERT_EQ(tmuxrun::make_engine_dir("quvo-scrsys", &root, &data), 0);
  Engine e;
  e.dir = data;
  e.start(false);
  ASSERT_TRUE(pltest::compilers_on());
  for (auto [type, name] : {std::pair{1, "QUVO MENU"}, {2, "ERROR MESSAGE"}, {2, "EM BUILD ERRORS"}}) {
    SCOPED_TRACE(name);
    PiInvoc key;
    std::memset(static_cast<void*>(&key), 0, sizeof key);
    key.app.set("0LA");
    key.ver.set("00");
    key.type = uint8_t(type);
    key.name.set(name);
    std::vector<DCmplErr> errs;
    uint32_t code = 0;
    EXPECT_EQ(pc_check(key, &errs, &code), 1) << code;
    for (const DCmplErr& r : errs) ADD_FAILURE() << pc_cmpl_err_line(r);
  }
  e.stop(false);
  tmuxrun::sh("rm -rf " + tmuxrun::q(root));
}

// The statements an item compile generates: its range checks (both ranges,
// the low and high bounds, a date's all-zero limit; a limit of code 255 or
// blank text gives none) and a total item's TOTAL.
TEST(ScreenStmts, RangeChecksAndTotalsAreGenerated) {
  uint8_t prefix[44];
  std::memset(prefix, 0, sizeof prefix);
  prefix[0] = 2;
  std::memcpy(prefix + 1, "IN                            ", 30);
  prefix[36] = 1;
  prefix[38] = prefix[39] = ' ';
  EmCitm item;
  std::memset(static_cast<void*>(&item), 0, sizeof item);
  item.app.set("ABC");
  item.field.set("OPENED");
  item.occ = uint16_t(3);
  DElem e;
  std::memset(static_cast<void*>(&e), ' ', sizeof e);
  e.type = 6;
  e.rng_code1 = 2;
  e.rng_value1.set("2020-01-01");
  e.rng_code2 = 255;                 // no second range
  e.rng_value2.set("2021-01-01");
  e.low_given = 5;
  e.low.clear();                     // blank: none
  e.high_given = 3;
  e.high.set("20991231235959999999AB");   // 22 characters go to the operand
  DStmt st[5];
  ASSERT_EQ(pc_range_stmts(prefix, item, e, st), 3);
  struct Want {
    uint16_t verb;
    const char* text;
    uint8_t rel;
  } want[3] = {{38, "2020-01-01            ", 2}, {3, "20991231235959999999AB", 3}, {3, "0000000000000000      ", 6}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const DStmt& s = st[i];
    EXPECT_EQ(std::memcmp(&s, prefix, 44), 0);
    EXPECT_EQ(s.event_point, 82);
    EXPECT_EQ(s.seq, uint32_t(i + 1));
    EXPECT_EQ(s.verb, want[i].verb);
    EXPECT_EQ(s.tf.str(), "");
    const auto& op1 = rec::view<ScOpnd>(const_cast<uint8_t*>(s.ops.b));
    const auto& op2 = rec::view<ScOpnd>(const_cast<uint8_t*>(s.ops.b) + 30);
    EXPECT_EQ(op1.occ, 3u);
    EXPECT_EQ(op1.app.str(), "ABC");
    EXPECT_EQ(op1.text.str(), "OPENED");
    EXPECT_EQ(op2.occ, 1u);
    EXPECT_EQ(op2.occ_mode, 0);
    EXPECT_EQ(op2.app.str(), "");
    EXPECT_EQ(std::string(op2.text.view()), want[i].text);
    EXPECT_EQ(s.ops.b[60], want[i].rel);
  }
  e.type = 1;   // not a date: no zero limit
  EXPECT_EQ(pc_range_stmts(prefix, item, e, st), 2);
  for (uint8_t mode : {1, 2}) {
    DStmt t;
    pc_total_stmt(prefix, item, mode, 4, &t);
    EXPECT_EQ(t.event_point, 45);
    EXPECT_EQ(t.seq, 4u);
    EXPECT_EQ(t.verb, 78);
    for (int k = 0; k < 2; ++k) {
      const auto& op = rec::view<ScOpnd>(t.ops.b + 30 * k);
      EXPECT_EQ(op.occ, 3u);
      EXPECT_EQ(op.app.str(), "ABC");
      EXPECT_EQ(op.text.str(), "OPENED");
    }
    EXPECT_EQ(t.ops.b[60], mode == 1 ? '+' : 'P');
  }
}

// A saved module's screen rows are read as untrusted input: a row of
// another length than its image's, or rows missing, make the file damaged
// (refused, and the process compiles), however well the file is sealed.
TEST_F(Screen, DamagedImageRowsRefuseTheSavedModule) {
  process("SUB", 6, {});
  process("IN", kInput, in_screens(), {{"save_flag", "1"}});
  for (int how = 0; how < 2; ++how) {
    SCOPED_TRACE(how);
    Pcb* p = e.pcb("IN", 2, kInput);
    ASSERT_EQ(pl_get(p, 0), 1);   // compiled and saved
    pl_release(p);
    pl_flush();
    PcBuf<DProc> def;
    FmFdb ident;
    uint32_t st = 0;
    Pcb* q = e.pcb("IN", 2, kInput);
    ASSERT_EQ(read_dproc(q->invoc, def.p, &ident, &st), 1);
    ASSERT_NO_FATAL_FAILURE(pltest::rewrite_saved_module(*def.p, [&](std::vector<std::vector<uint8_t>>& recs) {
      ASSERT_EQ(recs.back().size(), 78u);  // the last row of the second image
      if (how == 0) recs.back().pop_back();
      else recs.pop_back();
    }));
    EXPECT_EQ(load_em(def.p, q), 0);
    EXPECT_EQ(uint32_t(q->invoc.completion), FM_ST_STRUCT);
    // The process compiles and saves anew.
    ASSERT_EQ(pl_get(q, 0), 1);
    pl_release(q);
    pl_flush();
  }
}

// An item of a token field is scannable, and QUVO_TOKEN_ITEM_LOG gets a
// line for it.
TEST_F(Screen, TokenItemIsScannableAndLogged) {
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00",
                      {elem("KIND", "CUST", 1000005, 7, 38, 1, 2, {{"token_mark", "8"}, {"domain", "KINDS"}})}),
            0);
  ASSERT_EQ(fx::write("TOKEN", "ABC", "00",
                      {fx::rec("TOKEN", {{"group", "KINDS"}, {"number", "1"}, {"text", "AA"}}),
                       fx::rec("TOKEN", {{"group", "KINDS"}, {"number", "2"}, {"text", "BB"}})}),
            2);
  TempDir t;
  std::string log = t.sub("tokens.log");
  setenv("QUVO_TOKEN_ITEM_LOG", log.c_str(), 1);
  process("TK", kInput,
          {{"FRAME", fx::frame(kInput, "TK", 1)},
           {"IMAGE", fx::image(kInput, "TK", 1, 2, 40)},
           {"ITEM", fx::item(kInput, "TK", 1, 1, 1, "ABC", "KIND")},
           {"ITEM", fx::item(kInput, "TK", 1, 2, 1, "ABC", "CUST NO")}});
  Built b = build(e, "TK", kInput);
  unsetenv("QUVO_TOKEN_ITEM_LOG");
  ASSERT_NE(b.em, nullptr) << error_text("TK", kInput);
  auto items = all<EmCitm>(b.em->citm.get());
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].attr_mask & 0x80000u, 0x80000u);
  EXPECT_EQ(items[1].attr_mask & 0x80000u, 0u);
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "ABC - KIND                  \n");
  b.release();
}

// An image of 16M cells, the most a screen text may have, compiles.
TEST_F(Screen, LargestImageCompiles) {
  process("BIG", kInput, {{"FRAME", fx::frame(kInput, "BIG", 1)}, {"IMAGE", fx::image(kInput, "BIG", 1, 4096, 4096)}});
  Built b = build(e, "BIG", kInput);
  ASSERT_NE(b.em, nullptr) << error_text("BIG", kInput);
  auto images = all<EmCimg>(b.em->cimg.get());
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].rows, 4096);
  EXPECT_EQ(images[0].cols, 4096);
  b.release();
}

// A summary item (use 4 on a frame of code 2) refers to its summary; the
// report's total items of frame code 0 mark their image.
TEST_F(Screen, SummaryItemRefersToItsSummary) {
  auto own = [](int code, fx::Values v) {
    v.insert(v.begin(), {{"proc_type", "3"}, {"proc_name", "SU"}, {"frame_code", std::to_string(code)},
                         {"frame_no", "1"}});
    return v;
  };
  process("SU", kOutput,
          {{"FRAME", fx::rec("FRAME", own(2, {{"mode", "1"}}))},
           {"IMAGE", fx::rec("IMAGE", own(2, {{"image_no", "1"}, {"pos[3]", "1"}, {"pos[4]", "40"}}))},
           {"ITEM", fx::rec("ITEM", own(2, {{"image_no", "1"}, {"row", "1"}, {"col", "1"}, {"app", "ABC"},
                                            {"field", "BALANCE"}, {"use", "4"}, {"display", "7"}}))}});
  Built b = build(e, "SU", kOutput);
  ASSERT_NE(b.em, nullptr) << error_text("SU", kOutput);
  auto items = all<EmCitm>(b.em->citm.get());
  ASSERT_EQ(items.size(), 1u);
  const EmCitm& c = items[0];
  EXPECT_EQ(c.wm.summary, 0);
  EXPECT_EQ(c.wm.sum_occ, 1u);
  EXPECT_EQ(c.disp, 0);                      // an Output process shows every item
  EXPECT_EQ(c.attr & wa::kHidden, 0u);        // a field of its own file
  auto sums = all<PcSum>(b.em->sum.get());
  ASSERT_EQ(sums.size(), 1u);
  EXPECT_EQ(c.wm.total_ira, sums[0].number);
  // Where the total's field is: BALANCE's area and its place in it.
  EXPECT_EQ(sums[0].index, 1u);
  EXPECT_EQ(sums[0].area, 1000005u);
  EXPECT_EQ(sums[0].offset, 26u);
  b.release();
}

}  // namespace

// The SCAN statements of an image join that image's scan list, each with
// its operand block, in compile order; another image's list stays empty.
TEST_F(Screen, ScanStatementsJoinTheirImagesScanList) {
  fx::Rec opt = elem("SCANOPT FI NAM", "", 3000001, 1, 0, 1, 8, {{"work", "1"}});
  ASSERT_EQ(fx::write("ELEMENT", "0LA", "00", {opt}), 1);
  process("SUB", 6, {});
  process("IN", kInput, in_screens());
  auto scan = [](const char* target, const char* field) {
    return stmttext::line("", "SCAN", {{0, "ABC"}, {4, target}, {34, "ABC"}, {38, field}});
  };
  SeFileResult r;
  ASSERT_EQ(se_read_file("in.stmt",
                         "process 2 IN\nstatements 41 frame 0 1 image 1\n" + scan("CUST NAME", "CUST NAME") +
                             scan("REGION", "REGION"),
                         nullptr, &r),
            0)
      << (r.errors.empty() ? "" : r.errors[0]);
  ASSERT_EQ(r.stmts.size(), 2u);
  std::vector<std::string> errs;
  ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), 2);
  Built b = build(e, "IN", kInput);
  ASSERT_NE(b.em, nullptr) << error_text("IN", kInput);
  // (The one error the screens have: the statements compiled.)
  EXPECT_EQ(errors("IN", kInput).size(), 1u) << error_text("IN", kInput);
  uint32_t seq1 = 0, seq2 = 0;
  for (const EmCimg& c : all<EmCimg>(b.em->cimg.get())) (c.image_no == 1u ? seq1 : seq2) = c.seq;
  auto list = pc_scan_list(b.em, seq1);
  ASSERT_EQ(list.size(), 2u);
  for (size_t i = 0; i < 2; ++i) EXPECT_EQ(std::memcmp(list[i].data(), r.stmts[i].ops.b, 64), 0) << i;
  EXPECT_TRUE(pc_scan_list(b.em, seq2).empty());
  b.release();
}
