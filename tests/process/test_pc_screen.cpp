// Screen compile: frames, images, characteristics, items, look-ups and
// children of a test application written here as dictionary records, each
// compiled record compared byte for byte with the record the layout tables
// give; bad designs refused with their messages; saved and loaded back equal.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "foundation/os.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pc.h"
#include "process/pc_fixture.h"
#include "process/pl_fixture.h"

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
                    {"flag31", "1"}, {"save_flag", "0"}, {"retention", "50"},
                    {"added", stamp}, {"changed", stamp}, {"pcf_app", "ABC"}, {"pcf_file", "CUST"}};
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

TEST_F(Screen, Smoke) {
  const int kInput = 2;
  process("SM", kInput,
          {{"FRAME", fx::frame(kInput, "SM", 1, 1, true)},
           {"IMAGE", fx::image(kInput, "SM", 1, 3, 40)},
           {"ROW", fx::row(kInput, "SM", 1, 1, "Customer")},
           {"ITEM", fx::item(kInput, "SM", 1, 1, 12, "ABC", "CUST NO", {{"input", "1"}})},
           {"ITEM", fx::item(kInput, "SM", 1, 2, 12, "ABC", "BALANCE", {{"input", "1"}})},
           {"ITEM", fx::item(kInput, "SM", 1, 3, 12, "ABC", "OPENED", {{"input", "1"}})}});
  Pcb* p = e.pcb("SM", 2, kInput);
  EXPECT_EQ(pl_get(p, 0), 1) << error_text("SM", kInput);
  std::fprintf(stderr, "%s", error_text("SM", kInput).c_str());
  if (p->module) pl_release(p);
}

}  // namespace
