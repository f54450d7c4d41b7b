// The statement families compiled from statement text: IF/AND/OR, CALC,
// loops, GOSUB/RETURN and OVERFLOW, stored in the dictionary, compiled by
// the process compiler and run through the interpreter.
#include <gtest/gtest.h>

#include <set>

#include "design/se.h"
#include "design/sefile.h"
#include "foundation/os.h"
#include "language/ibutil.h"
#include "language/iiutil.h"
#include "language/scfam.h"
#include "process/pc.h"
#include "process/piexec.h"
#include "process/pl_fixture.h"

namespace {

using pltest::Engine;

constexpr uint16_t kOpLog = 100;

// MESSAGE logs its sequence number (the fixture's accumulator).
int t_log(ScCtx* sc, DStmt* st) {
  uint8_t* p = ib_put(sc_code(sc), kOpLog, 8);
  rec::view<rec::U32>(p + 4) = st->seq;
  return 1;
}

// A statement line: T/F column, verb, then each operand text at its screen
// column of the operand part.
std::string line(const char* tf, const char* verb, std::initializer_list<std::pair<int, std::string>> ops = {}) {
  std::string o(64, ' ');
  for (const auto& [col, text] : ops) o.replace(size_t(col), text.size(), text);
  char b[128];
  std::snprintf(b, sizeof b, "%-5.5s %-8.8s %s", tf, verb, o.c_str());
  std::string s = b;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s + "\n";
}
std::string calc(const char* tf, const char* var, const char* expr) { return line(tf, "CALC", {{0, var}, {5, expr}}); }
std::string loop(const char* var, const char* from, const char* to, const char* step = "1") {
  return line("", "BEG LOOP", {{0, var}, {5, from}, {12, to}, {22, step}});
}
// IF/AND/OR of a "0LA" field (shown "---") against a constant or field.
[[maybe_unused]] std::string test(const char* tf, const char* verb, const char* f1, int rel, const char* f2, bool field2 = false) {
  return line(tf, verb,
              {{0, "---"}, {4, f1}, {31, std::string(se_rel_code(rel))}, {34, field2 ? "---" : ""}, {38, f2}});
}
std::string msg(const char* tf = "") { return line(tf, "MESSAGE", {{0, "m"}}); }

struct ScFam : ::testing::Test {
  Engine e;
  ScCmplFn old45 = nullptr;
  void SetUp() override {
    ii_families_register();
    e.start();
    e.dictionary();
    auto u = fx::user("USR");
    rec::view<DUser>(u.data()).cache_thr = 1;
    rec::view<DUser>(u.data()).db.set("DB1");
    ASSERT_EQ(fx::write("USER", nullptr, nullptr, {u}), 1);
    ASSERT_EQ(fx::write("DATABASE", nullptr, nullptr,
                        {fx::rec("DATABASE", {{"id", "DB1"}, {"app", "ABC"}, {"ver", "00"}})}),
              1);
    pi_getters_reset();
    pc_init();
    ASSERT_EQ(rt_init_cmpl_err(), 1);
    se_init();
    se_register();
    pc_set_stmt_compiler(sc_cmpl);
    em_set_compiler(pc_em_compiler);
    old45 = sc_set_cmpl_fn(45, t_log);
    os_sys_err_log_clear();
    ASSERT_GE(fx::write("APPL", nullptr, nullptr, {fx::appl("0LA", "00")}), 0);
    // The calculation variables: A-H, I, J decimal (packed 8 + scale),
    // K binary; AI-CI integers.
    static int serial = 0;
    auto el = [](std::string name, int type, int len) {
      ++serial;
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2026-01-01T%02d:%02d:%02d", serial / 3600 % 24, serial / 60 % 60,
                    serial % 60);
      return fx::rec("ELEMENT", {{"area", "3000002"}, {"work", "1"}, {"name", name}, {"kind", "1"},
                                 {"ident_stamp", stamp}, {"number", std::to_string(serial)},
                                 {"length", std::to_string(len)}, {"occurs", "1"}, {"type", std::to_string(type)},
                                 {"sign", "1"}, {"digits", "15"}, {"key_kind", "255"}});
    };
    std::vector<fx::Rec> els;
    for (const char* n : {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J"}) els.push_back(el(n, 12, 9));
    els.push_back(el("K", 5, 4));
    for (const char* n : {"AI", "BI", "CI", "DI"}) els.push_back(el(n, 5, 4));
    ASSERT_EQ(fx::write("ELEMENT", "0LA", "00", els), int(els.size()));
  }
  void TearDown() override {
    sc_set_cmpl_fn(45, old45);
    e.stop();
  }
  void define(const std::string& text) {
    SeFileResult r;
    ASSERT_EQ(se_read_file("t.stmt", text, nullptr, &r), 0) << (r.errors.empty() ? "" : r.errors[0]);
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
    std::set<std::string> seen;
    std::vector<fx::Rec> procs;
    for (const DStmt& s : r.stmts) {
      std::string n = s.proc_name.str();
      while (!n.empty() && n.back() == ' ') n.pop_back();
      if (seen.insert(n).second) procs.push_back(pltest::proc_rec(n, s.proc_type, "0"));
    }
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", procs), int(procs.size()));
  }
  // Runs the Subroutine through the runner (its data areas, event points
  // 01 and 06): the completion code; *acc the MESSAGE log.
  int run(const char* name, uint32_t* acc = nullptr) {
    proc_svc.ii_proc_exec = ii_proc_exec;
    if (pi_init() != 1) return -1;
    PiInvoc v;
    os_invoc_template(&v);
    v.app.set("ABC");
    v.ver.set("00");
    v.type = 6;
    v.name.set(name);
    v.kind = 2;
    pltest::acc() = 0;
    int m = ::mark(1, [&] { pi_exec(&v); }, ut_cleanup);
    if (acc) *acc = pltest::acc();
    return m == 1 ? int(v.completion) : m;
  }
  std::vector<uint32_t> errors(const char* name) {
    std::vector<uint32_t> out;
    FmArb* f = pc_cmpl_err_file();
    PcBuf<DCmplErr> rb;
    DCmplErr& r = *rb;
    PROTO_FULL(f, 0, rb.bytes());
    f->op = FM_OP_FIRST;
    fm_start(f);
    f->op = 0;
    while (fm_rdnxt(f)) {
      std::string n = r.proc_name.str();
      while (!n.empty() && n.back() == ' ') n.pop_back();
      if (n == name) out.push_back(r.msg);
    }
    return out;
  }
  std::string proc(const char* name) { return std::string("process 6 ") + name + "\nstatements 1\n"; }
};

// The operand areas the compile functions read lie where the statement
// text's layout table puts them.
TEST(ScFamLayout, OperandAreasMatchTheLayoutTable) {
  EXPECT_EQ(xme_op(38, "occ")->offset, 0u);
  EXPECT_EQ(xme_op(38, "app")->offset, offsetof(ScOpnd, app));
  EXPECT_EQ(xme_op(38, "field")->offset, offsetof(ScOpnd, text));
  for (int v : {3, 38, 52, 20}) {
    EXPECT_EQ(xme_op(v, "occ2")->offset, offsetof(ScOpsTwo, op2)) << v;
    EXPECT_EQ(xme_op(v, "app2")->offset, offsetof(ScOpsTwo, op2) + offsetof(ScOpnd, app)) << v;
    EXPECT_EQ(xme_op(v, "field2")->offset, offsetof(ScOpsTwo, op2) + offsetof(ScOpnd, text)) << v;
  }
  for (int v : {3, 38, 52}) EXPECT_EQ(xme_op(v, "rel")->offset, offsetof(ScOpsTwo, rel));
  EXPECT_EQ(xme_op(20, "op")->offset, offsetof(ScOpsTwo, rel));
  EXPECT_EQ(xme_op(7, "letter")->offset, 0u);
  EXPECT_EQ(xme_op(7, "from")->offset, offsetof(ScOpsLoop, from));
  EXPECT_EQ(xme_op(7, "to")->offset, offsetof(ScOpsLoop, to));
  EXPECT_EQ(xme_op(7, "step")->offset, offsetof(ScOpsLoop, step));
  EXPECT_EQ(xme_op(31, "letter")->offset, 0u);
  EXPECT_EQ(xme_op(12, "letter")->offset, 0u);
  EXPECT_EQ(xme_op(12, "expr")->offset, offsetof(ScOpsCalc, expr));
  EXPECT_EQ(xme_op(12, "expr")->width, 59u);
  EXPECT_EQ(xme_op(54, "label")->offset, 0u);
  EXPECT_EQ(xme_op(36, "app")->offset, 0u);
  EXPECT_EQ(xme_op(36, "proc")->offset, offsetof(ScOpsGosub, label));
}




TEST_F(ScFam, CompileErrors) {
  define(proc("E1") + line("", "END LOOP", {{0, "B"}}) + loop("K", "1", "2") + calc("", "A", "A +") +
         calc("", "A", "@NOPE(B)") + line("", "OVERFLOW", {{0, "NOWHERE"}}));
  EXPECT_EQ(run("E1"), 4);
  std::vector<uint32_t> want{102910, 101060, 101060, 100940, 100910};
  auto got = errors("E1");
  std::multiset<uint32_t> g(got.begin(), got.end()), w(want.begin(), want.end());
  EXPECT_EQ(g, w);
}


TEST_F(ScFam, ReturnWithoutGosubEndsTheProcess) {
  define(proc("R1") + line("", "RETURN") + msg());
  uint32_t acc = 0;
  EXPECT_EQ(run("R1", &acc), 300540);
  EXPECT_EQ(acc, 0u);
}

}  // namespace
