// The fixture of the statement families compiled from statement text: an
// engine with the runtime application's calculation variables and fields of
// every kind, a Subroutine defined from statement lines, run through the
// runner, and the compile errors it recorded. MESSAGE logs its sequence
// number, so a run's log says which statements ran.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "design/se.h"
#include "design/sefile.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "language/ibtst.h"
#include "language/ibutil.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "language/scfam.h"
#include "process/pc.h"
#include "process/piexec.h"
#include "process/pc_fixture.h"
#include "process/pl_fixture.h"
#include "support/stmt_text.h"

namespace scfamtest {

using pltest::Engine;

constexpr uint16_t kOpLog = 100;

// The sequence numbers of the MESSAGE statements run, in order.
inline std::vector<uint32_t>& logged() {
  static std::vector<uint32_t> v;
  return v;
}
inline uint8_t* h_log(IlfExecBlock*, IlfState*, uint8_t* pc) {
  logged().push_back(rec::view<rec::U32>(pc + 4).get());
  return ii_adv(pc, 8);
}

// MESSAGE logs its sequence number (the fixture's accumulator).
inline int t_log(ScCtx* sc, DStmt* st) {
  uint8_t* p = ib_put(sc_code(sc), kOpLog, 8);
  rec::view<rec::U32>(p + 4) = st->seq;
  return 1;
}

using namespace stmttext;
inline std::string msg(const char* tf = "") { return line(tf, "MESSAGE", {{0, "m"}}); }

// A Subroutine of statement lines; MESSAGE statements log their sequence
// numbers (100 per line), so a run's log says which of them ran.
struct Prog {
  std::string name, text;
  int n = 0;
  std::vector<uint32_t> want;
  explicit Prog(const char* name) : name(name), text(std::string("process 6 ") + name + "\nstatements 1\n") {}
  Prog& add(const std::string& l) {
    text += l;
    ++n;
    return *this;
  }
  // A MESSAGE expected to run (or not).
  Prog& log(bool runs, const char* tf = "") {
    add(msg(tf));
    if (runs) want.push_back(uint32_t(100 * n));
    return *this;
  }
  // IF field rel value, then T MESSAGE: expected to log when `holds`.
  Prog& check(const char* f, int rel, const char* value, bool holds = true) {
    add(test("", "IF", f, rel, value));
    return log(holds, "T");
  }
  // The same against a second field.
  Prog& check_field(const char* f, int rel, const char* f2, bool holds = true) {
    add(test("", "IF", f, rel, f2, true));
    return log(holds, "T");
  }
};
constexpr int EQ = 1, GE = 2, GT = 3, LE = 4, LT = 5, NE = 6;

struct ScFam : ::testing::Test {
  Engine e;
  ScCmplFn old45 = nullptr;
  void SetUp() override {
    ii_families_register();
    e.start();
    // The engine fixture folds opcode 52 into its accumulator; compiled
    // statements load constants with it, so the real handler goes back.
    ii_util_init();
    ii_set_pair(kOpLog, h_log);
    e.dictionary();
    // The signed-on user works in database "DB1" of "ABC" 00.
    ASSERT_NO_FATAL_FAILURE(pltest::compiler_setup());
    old45 = sc_set_cmpl_fn(45, t_log);
    os_sys_err_log_clear();
    ASSERT_GE(fx::write("APPL", nullptr, nullptr, {fx::appl("0LA", "00")}), 0);
    // The calculation variables: A-H, I, J and Z decimal (packed 8 +
    // scale), K binary; AI-DI integers; P2 a packed field of 17 integer
    // digits and 2 decimals.
    static int serial = 0;
    auto el = [](std::string name, int type, int len, int occurs = 1, int digits = 15, int decimals = 0) {
      ++serial;
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2026-01-01T%02d:%02d:%02d", serial / 3600 % 24, serial / 60 % 60,
                    serial % 60);
      // Each work field is its own data area, as the generator numbers them.
      return fx::rec("ELEMENT", {{"area", std::to_string(3000100 + serial)}, {"work", "1"}, {"name", name}, {"kind", "1"},
                                 {"ident_stamp", stamp}, {"number", std::to_string(serial)},
                                 {"length", std::to_string(len)}, {"occurs", std::to_string(occurs)}, {"type", std::to_string(type)},
                                 {"sign", "1"}, {"digits", std::to_string(digits)},
                                 {"decimals", std::to_string(decimals)}, {"key_kind", "255"}});
    };
    std::vector<fx::Rec> els;
    for (const char* n : {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "Z"}) els.push_back(el(n, 12, 9));
    els.push_back(el("P2", 8, 10, 1, 17, 2));
    els.push_back(el("K", 5, 4));
    for (const char* n : {"AI", "BI", "CI", "DI"}) els.push_back(el(n, 5, 4));
    els.push_back(el("T4", 1, 4));
    els.push_back(el("T2", 1, 2));
    els.push_back(el("T20", 1, 20));
    els.push_back(el("T80", 1, 80));
    els.push_back(el("TEXT AT POSITION", 5, 4));
    // Fields with occurrences: three integers, three and two texts.
    els.push_back(el("N3", 5, 4, 3));
    els.push_back(el("X3", 1, 20, 3));
    els.push_back(el("X2", 1, 20, 2));
    // Fields with dictionary conditions, of the file "VF": 10 <= V1 <= 20
    // (range codes), V2 >= 0 (a low bound); a group header of the file.
    auto with = [](fx::Rec r, std::initializer_list<std::pair<const char*, std::string>> more) {
      auto& d = rec::view<DElem>(r.data());
      d.file.set("VF");
      for (const auto& [k, v] : more) {
        std::string key = k;
        if (key == "rng_code1") d.rng_code1 = uint8_t(std::stoi(v));
        if (key == "rng_value1") d.rng_value1.set(v);
        if (key == "rng_code2") d.rng_code2 = uint8_t(std::stoi(v));
        if (key == "rng_value2") d.rng_value2.set(v);
        if (key == "low_given") d.low_given = uint8_t(std::stoi(v));
        if (key == "low") d.low.set(v);
        if (key == "kind") d.kind = uint8_t(std::stoi(v));
      }
      return r;
    };
    els.push_back(with(el("V1", 12, 9), {{"rng_code1", "2"}, {"rng_value1", "10"}, {"rng_code2", "4"}, {"rng_value2", "20"}}));
    els.push_back(with(el("V2", 5, 4), {{"low_given", "2"}, {"low", "0"}}));
    els.push_back(with(el("V3", 1, 4), {{"kind", "2"}, {"low_given", "1"}, {"low", "XXXX"}}));
    more_elements(&els);
    ASSERT_EQ(fx::write("ELEMENT", "0LA", "00", els), int(els.size()));
  }
  // Elements a derived fixture adds to the calculation variables.
  virtual void more_elements(std::vector<fx::Rec>*) {}
  void TearDown() override {
    sc_set_cmpl_fn(45, old45);
    e.stop();
  }
  void define(const std::string& text) {
    SeFileResult r;
    ASSERT_EQ(se_read_file("t.stmt", text, nullptr, &r), 0) << (r.errors.empty() ? "" : r.errors[0]);
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
    define_procs(r.stmts);
  }
  // The PROCESS records of the statements' processes.
  void define_procs(const std::vector<DStmt>& stmts) {
    SeFileResult r;
    r.stmts = stmts;
    std::set<std::string> seen;
    std::vector<fx::Rec> procs;
    // (Each process its own creation stamp: saved modules are named by it.)
    static int stamps = 0;
    for (const DStmt& s : r.stmts) {
      std::string n = s.proc_name.str();
      while (!n.empty() && n.back() == ' ') n.pop_back();
      if (!seen.insert(n).second) continue;
      ++stamps;
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2026-02-01T%02d:%02d:%02d", stamps / 3600 % 24, stamps / 60 % 60,
                    stamps % 60);
      procs.push_back(pltest::proc_rec(n, s.proc_type, "0", 50, stamp, stamp));
    }
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", procs), int(procs.size()));
  }
  // Runs the Subroutine through the runner (its data areas, event points
  // 01 and 06): the completion code; *acc the MESSAGE log.
  int run(const char* name, uint32_t* acc = nullptr) {  // *acc: how many MESSAGEs ran
    proc_svc.ii_proc_exec = ii_proc_exec;
    if (pi_init() != 1) return -1;
    logged().clear();
    int code = pltest::pi_run(name);
    if (acc) *acc = uint32_t(logged().size());
    return code;
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
  // Runs `name`, which the compiler refuses (4) with the errors `want`,
  // in any order.
  void expect_refused(const char* name, const std::multiset<uint32_t>& want) {
    EXPECT_EQ(run(name), 4) << name;
    auto got = errors(name);
    EXPECT_EQ(std::multiset<uint32_t>(got.begin(), got.end()), want) << name;
  }
  // Defines `p` (and the processes of `more`) and runs it: it ends with
  // `code` having logged what p wants, without compile errors.
  void expect_runs(const Prog& p, int code = 2, const std::string& more = "") {
    define(p.text + more);
    EXPECT_EQ(run(p.name.c_str()), code) << p.name << [] {
      std::string t;
      for (const auto& r : os_sys_err_log()) t += "\n" + r.text;
      return t;
    }();
    EXPECT_EQ(logged(), p.want) << p.name;
    EXPECT_TRUE(errors(p.name.c_str()).empty()) << p.name << testing::PrintToString(errors(p.name.c_str()));
  }
};

}  // namespace scfamtest
