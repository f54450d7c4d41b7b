// SCAN compiled from statement text and run: the SCAN instruction records
// each request in the process's scan work file (one record per file) and
// the module's return file (one record per SCAN run), and skips its return
// block; the scan support's answer runs every recorded block, and only the
// blocks of the answered file move the chosen record's field into their
// targets. The compile errors carry their numbers.
#include <cstring>
#include <string>
#include <vector>

#include "language/ibfi.h"
#include "language/scfam_fixture.h"

namespace {

using namespace scfamtest;
using namespace stmttext;

// The test's "answer" statement (the NO TRACE verb's row): the scan
// support's answer from inside the running process, with what the two work
// files held just before it.
constexpr uint16_t kOpAnswer = 102;
constexpr int kVerbNoTrace = 47;
struct Answer {
  std::string file;     // at most 8 characters
  std::string record;
  int work = -1;        // work-file records before the answer
  int returns = -1;     // return-file records before it
  int ran = -2;         // blocks the answer ran
};
std::vector<Answer>& answers() {
  static std::vector<Answer> v;
  return v;
}
size_t g_next = 0;

uint8_t* h_answer(IlfExecBlock* b, IlfState*, uint8_t* pc) {
  if (g_next < answers().size()) {
    Answer& a = answers()[g_next++];
    a.work = 0;
    if (FmArb* w = ii_scan_work(b->pcb)) {
      w->key_no = 0;
      w->op = FM_OP_FIRST;
      fm_start(w);
      w->op = FM_OP_FAST;
      while (fm_rdnxt_fast(w, 0)) ++a.work;
      w->op = 0;
    }
    a.returns = int(ii_scan_returns(b->pcb->module.get()).size());
    a.ran = ii_scan_answer(b->pcb, a.file.c_str(), reinterpret_cast<const uint8_t*>(a.record.data()),
                           a.record.size());
  }
  return ii_adv(pc, 8);
}
int t_answer(ScCtx* sc, DStmt*) { return ib_put(sc_code(sc), kOpAnswer, 8) ? 1 : 0; }

struct ScScan : ScFam {
  ScCmplFn old_no_trace = nullptr;
  void more_elements(std::vector<fx::Rec>* els) override {
    int n = 0;
    auto el = [&](std::string name, int type, int len, const char* file = "", int offset = 0) {
      ++n;
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2026-01-04T00:%02d:%02d", n / 60, n % 60);
      bool work = *file == 0;
      els->push_back(fx::rec("ELEMENT", {{"area", work ? std::to_string(3000800 + n) : std::string(file) == "WF" ? "3000900" : "3000901"},
                                         {"work", work ? "1" : "0"}, {"name", name}, {"kind", "1"}, {"file", file},
                                         {"offset", std::to_string(offset)}, {"ident_stamp", stamp},
                                         {"number", std::to_string(980 + n)}, {"length", std::to_string(len)},
                                         {"occurs", "1"}, {"type", std::to_string(type)}, {"sign", "1"},
                                         {"digits", "5"}, {"key_kind", "255"}}));
    };
    el("SCANOPT FI NAM", 1, 8);
    // WF: two 4-character fields; WG: one of 2 and a binary of a length
    // SET does not take.
    el("W1", 1, 4, "WF", 0);
    el("W2", 1, 4, "WF", 4);
    el("G1", 1, 2, "WG", 0);
    el("G3", 5, 3, "WG", 2);
    ASSERT_GE(fx::write("FILE", "0LA", "00",
                        {fx::rec("FILE", {{"name", "WF"}, {"rec_len", "8"}, {"area", "3000900"}, {"area2", "3000910"}}),
                         fx::rec("FILE", {{"name", "WG"}, {"rec_len", "5"}, {"area", "3000901"}, {"area2", "3000911"}})}),
              0);
    // The files' record images (INITIAL and NULL): blanks.
    std::vector<fx::Rec> images;
    for (const char* f : {"WF", "WG"})
      for (const char* k : {"1", "2"}) images.push_back(fx::rec("INITIAL", {{"file", f}, {"kind", k}, {"seq", "1"}}));
    ASSERT_EQ(fx::write("INITIAL", "0LA", "00", images), 4);
  }
  void SetUp() override {
    ScFam::SetUp();
    pltest::test_op(kOpAnswer, 8, h_answer);
    old_no_trace = sc_set_cmpl_fn(kVerbNoTrace, t_answer);
    answers().clear();
    g_next = 0;
  }
  void TearDown() override {
    sc_set_cmpl_fn(kVerbNoTrace, old_no_trace);
    ScFam::TearDown();
  }
  static std::string scan(const char* target, const char* field, const char* app2 = "---") {
    return line("", "SCAN", {{0, "---"}, {4, target}, {34, app2}, {38, field}});
  }
  static std::string set(const char* t, const char* value) {
    return line("", "SET", {{0, "---"}, {4, t}, {38, value}});
  }
  static std::string answer() { return line("", "NO TRACE"); }
};

// Two SCANs on fields of WF and one on WG: two work records, three return
// records, nothing moved until the answer. The answer for WF moves W1 and W2
// from their places in the chosen record and skips WG's block; a second
// SCAN on WG answered for WG moves G1. Each answer empties the return file.
TEST_F(ScScan, TheAnswerMovesTheFieldsOfItsFileOnly) {
  answers() = {{"WF      ", "ABCDEFGH"}, {"WG", "QR"}};
  Prog p("SC1");
  p.add(set("T4", "....")).add(set("T20", "....")).add(set("T2", ".."));
  p.add(scan("T4", "W1")).add(scan("T20", "W2")).add(scan("T2", "G1"));
  // The return blocks do not run at the SCAN: the values are as set.
  p.check("T4", EQ, "....").check("T20", EQ, "....").check("T2", EQ, "..");
  p.add(answer());
  p.check("T4", EQ, "ABCD").check("T20", EQ, "EFGH").check("T2", EQ, "..");
  p.add(scan("T2", "G1")).add(answer());
  p.check("T2", EQ, "QR").check("T4", EQ, "ABCD");
  expect_runs(p);
  ASSERT_EQ(answers().size(), 2u);
  EXPECT_EQ(answers()[0].work, 2);
  EXPECT_EQ(answers()[0].returns, 3);
  EXPECT_EQ(answers()[0].ran, 3);
  EXPECT_EQ(answers()[1].work, 2);
  EXPECT_EQ(answers()[1].returns, 1);
  EXPECT_EQ(answers()[1].ran, 1);
}

// A process that ran no SCAN has nothing to answer.
TEST_F(ScScan, AnAnswerWithoutAScanRunsNothing) {
  answers() = {{"WF      ", "ABCDEFGH"}};
  Prog p("SC2");
  p.add(set("T4", "....")).add(answer()).check("T4", EQ, "....");
  expect_runs(p);
  ASSERT_EQ(answers().size(), 1u);
  EXPECT_EQ(answers()[0].ran, -1);
}

// A constant target (either side) is 102360, a field of no file 102450, an
// application the compile lacks 102260, a target SET cannot take SCAN's own
// 101660, an occurrence past the scanned field's last 102720.
TEST_F(ScScan, CompileErrorsCarryTheirNumbers) {
  std::string text = proc("SCE") + scan("T4", "W1") + scan("T4", "W1") + scan("T4", "T20") + scan("T4", "W1") +
                     scan("G3", "W1") + line("", "SCAN", {{0, "---"}, {4, "T4"}, {34, "---"}, {38, "W1"}, {61, "2"}});
  SeFileResult r;
  ASSERT_EQ(se_read_file("t.stmt", text, nullptr, &r), 0) << (r.errors.empty() ? "" : r.errors[0]);
  ASSERT_EQ(r.stmts.size(), 6u);
  std::memset(r.stmts[0].ops.b + 34, ' ', 3);   // the scanned field a constant
  std::memset(r.stmts[1].ops.b + 4, ' ', 3);    // the target a constant
  std::memcpy(r.stmts[3].ops.b + 34, "ZZZ", 3);  // an application the compile does not have
  std::vector<std::string> errs;
  ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
  define_procs(r.stmts);
  expect_refused("SCE", {102360, 102360, 102450, 102260, 101660, 102720});
}

}  // namespace
