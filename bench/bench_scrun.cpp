// Loops of statement text, compiled once by the statement compiler and run
// by the interpreter through the process runner, against the same loop in
// Lua 5.4 in the same run. Each body runs in
//   BEG LOOP I from 1 to J (packed; J = 100,000) ... END LOOP I
// and is one of the shapes people write:
//   BASE   CALC A = A + I * 3; IF A > 1000000 (T) CALC A = A - 1000000;
//          CALC B = A
//   DECI   BASE with A = A + I * 1.25 and (T) A = A - 1000000.5 (decimals)
//   DIVI   BASE with A = A + I * 3 / 4 (a division)
//   ODDL   BASE and IF L < 5 (T) CALC C = C + 1, L a 5-byte fixed packed
//          field
//   IFAND  BASE and IF A > 500000 AND B < 700000 (T) CALC C = C + 1
//   GOSUB  BASE and GOSUB S1 (S1: CALC C = C + 1, RETURN)
//   DATE   BASE and IF D > 20000101 (T) CALC C = C + 1, D a date field
//          (text, CCYYMMDD) set to today before the loop
//   RECORD what an event point does once per record: CALC Q = I * 2 + 1;
//          CALC P = Q; IF P > 100000 (T) CALC C = C + 1; CALC A = A + P - I;
//          CALC B = A
//   NEST   BASE in an inner loop of two iterations (BEG LOOP K 1 2): a
//          short loop begun and ended once an outer iteration; NEST12 the
//          same of twelve (a year's months)
// and, to see where BASE's time goes, its parts alone: LOOP (no body), SUM
// (CALC A = A + I * 3), MOVE (CALC B = A) and TEST (the IF, false throughout,
// and its (T)).
// BM_Sc/<body>/plans:1 runs it with the loop plans, plans:0 without (the
// plain path every loop that has no plan takes); each invocation checks B
// and C at the end (a wrong value ends the run with 24 instead of 2). The
// counter "iter" is loop iterations per second; BM_Lua/<body> is the anchor:
// integers, floats for DECI and DIVI (a local function for GOSUB).
#include <benchmark/benchmark.h>

#include "lua_loop.h"

#include <cstdio>
#include <string>
#include <vector>

#include "design/se.h"
#include "design/sefile.h"
#include "foundation/os.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pc.h"
#include "process/piexec.h"
#include "process/pc_fixture.h"
#include "support/stmt_text.h"

using namespace pltest;

namespace {

constexpr int kLoops = 100000;

using stmttext::calc;
using stmttext::line;
using stmttext::test;

struct Body {
  const char* name;
  std::string stmts;  // the loop body
  std::string tail;   // after the event point's END (GOSUB's routine)
  std::string b, c;   // B and C at the end
  std::string lua;
  std::string pre = "";  // before the loop
};

std::string fmt_hundredths(long long v) {
  char s[40];
  std::snprintf(s, sizeof s, "%lld.%02lld", v / 100, v % 100);
  return s;
}

const std::vector<Body>& bodies() {
  static std::vector<Body> v = [] {
    std::vector<Body> v;
    const std::string wrap = test("", "IF", "A", 3, "1000000") + calc("T", "A", "A - 1000000") + calc("", "B", "A");
    long long a = 0, c = 0;
    for (long long i = 1; i <= kLoops; ++i) {
      a += i * 3;
      if (a > 1000000) a -= 1000000;
    }
    std::string base_b = std::to_string(a);
    // BASE
    v.push_back({"BASE", calc("", "A", "A + I * 3") + wrap, "", base_b, "0",
                 "return function(n)\n local a, b = 0, 0\n for i = 1, n do\n  a = a + i * 3\n"
                 "  if a > 1000000 then a = a - 1000000 end\n  b = a\n end\n return b\nend\n"});
    // DECI, in hundredths.
    a = 0;
    for (long long i = 1; i <= kLoops; ++i) {
      a += i * 125;
      if (a > 100000000) a -= 100000050;
    }
    v.push_back({"DECI",
                 calc("", "A", "A + I * 1.25") + test("", "IF", "A", 3, "1000000") + calc("T", "A", "A - 1000000.5") +
                     calc("", "B", "A"),
                 "", fmt_hundredths(a), "0",
                 "return function(n)\n local a, b = 0.0, 0.0\n for i = 1, n do\n  a = a + i * 1.25\n"
                 "  if a > 1000000.0 then a = a - 1000000.5 end\n  b = a\n end\n return b\nend\n"});
    // DIVI, in quarters.
    a = 0;
    for (long long i = 1; i <= kLoops; ++i) {
      a += i * 3;
      if (a > 4000000) a -= 4000000;
    }
    v.push_back({"DIVI", calc("", "A", "A + I * 3 / 4") + wrap, "", fmt_hundredths(a * 25), "0",
                 "return function(n)\n local a, b = 0.0, 0.0\n for i = 1, n do\n  a = a + i * 3 / 4\n"
                 "  if a > 1000000.0 then a = a - 1000000.0 end\n  b = a\n end\n return b\nend\n"});
    // ODDL: L stays 0.
    v.push_back({"ODDL", calc("", "A", "A + I * 3") + wrap + test("", "IF", "L", 5, "5") + calc("T", "C", "C + 1"), "",
                 base_b, std::to_string(kLoops),
                 "return function(n)\n local a, b, c, l = 0, 0, 0, 0\n for i = 1, n do\n  a = a + i * 3\n"
                 "  if a > 1000000 then a = a - 1000000 end\n  b = a\n  if l < 5 then c = c + 1 end\n end\n"
                 " return b + c\nend\n"});
    // IFAND
    a = 0;
    c = 0;
    for (long long i = 1; i <= kLoops; ++i) {
      a += i * 3;
      if (a > 1000000) a -= 1000000;
      if (a > 500000 && a < 700000) ++c;
    }
    v.push_back({"IFAND",
                 calc("", "A", "A + I * 3") + wrap + test("", "IF", "A", 3, "500000") + test("", "AND", "B", 5, "700000") +
                     calc("T", "C", "C + 1"),
                 "", base_b, std::to_string(c),
                 "return function(n)\n local a, b, c = 0, 0, 0\n for i = 1, n do\n  a = a + i * 3\n"
                 "  if a > 1000000 then a = a - 1000000 end\n  b = a\n"
                 "  if a > 500000 and b < 700000 then c = c + 1 end\n end\n return b + c\nend\n"});
    // GOSUB
    v.push_back({"GOSUB", calc("", "A", "A + I * 3") + wrap + line("", "GOSUB", {{4, "S1"}}),
                 line("", "LABEL", {{0, "S1"}}) + calc("", "C", "C + 1") + line("", "RETURN"), base_b,
                 std::to_string(kLoops),
                 "return function(n)\n local a, b, c = 0, 0, 0\n local function s1() c = c + 1 end\n"
                 " for i = 1, n do\n  a = a + i * 3\n  if a > 1000000 then a = a - 1000000 end\n  b = a\n  s1()\n"
                 " end\n return b + c\nend\n"});
    // DATE: today is after 2000-01-01.
    v.push_back({"DATE",
                 calc("", "A", "A + I * 3") + wrap + test("", "IF", "D", 3, "20000101") + calc("T", "C", "C + 1"),
                 "", base_b, std::to_string(kLoops),
                 "return function(n)\n local a, b, c, d = 0, 0, 0, 20261208\n for i = 1, n do\n  a = a + i * 3\n"
                 "  if a > 1000000 then a = a - 1000000 end\n  b = a\n  if d > 20000101 then c = c + 1 end\n end\n"
                 " return b + c\nend\n",
                 line("", "SET DATE", {{0, "---"}, {4, "D"}})});
    // RECORD
    {
      long long n = kLoops;
      v.push_back({"RECORD",
                   calc("", "Q", "I * 2 + 1") + calc("", "P", "Q") + test("", "IF", "P", 3, "100000") +
                       calc("T", "C", "C + 1") + calc("", "A", "A + P - I") + calc("", "B", "A"),
                   "", std::to_string(n * (n + 1) / 2 + n), std::to_string(n - 50000 + 1),
                   "return function(n)\n local a, b, c, p, q = 0, 0, 0, 0, 0\n for i = 1, n do\n  q = i * 2 + 1\n"
                   "  p = q\n  if p > 100000 then c = c + 1 end\n  a = a + p - i\n  b = a\n end\n return b + c\nend\n"});
    }
    // NEST and NEST12: BASE in an inner loop of two or twelve iterations.
    for (int k : {2, 12}) {
      long long a2 = 0;
      for (long long i = 1; i <= kLoops; ++i)
        for (int j = 0; j < k; ++j) {
          a2 += i * 3;
          if (a2 > 1000000) a2 -= 1000000;
        }
      std::string ks = std::to_string(k);
      v.push_back({k == 2 ? "NEST" : "NEST12",
                   stmttext::loop("K", "1", ks.c_str()) + calc("", "A", "A + I * 3") + wrap +
                       line("", "END LOOP", {{0, "K"}}),
                   "", std::to_string(a2), "0",
                   "return function(n)\n local a, b = 0, 0\n for i = 1, n do\n  for k = 1, " + ks +
                       " do\n   a = a + i * 3\n"
                       "   if a > 1000000 then a = a - 1000000 end\n   b = a\n  end\n end\n return b\nend\n"});
    }
    // The parts of BASE alone, to see where its time goes: the loop with
    // no body, the sum, the move and the test.
    v.push_back({"LOOP", "", "", "0", "0", "return function(n)\n local b = 0\n for i = 1, n do end\n return b\nend\n"});
    v.push_back({"SUM", calc("", "A", "A + I * 3"), "", "0", "0",
                 "return function(n)\n local a = 0\n for i = 1, n do a = a + i * 3 end\n return 0\nend\n"});
    v.push_back({"MOVE", calc("", "B", "A"), "", "0", "0",
                 "return function(n)\n local a, b = 0, 0\n for i = 1, n do b = a end\n return b\nend\n"});
    v.push_back({"TEST", test("", "IF", "A", 3, "1000000") + calc("T", "A", "A - 1000000"), "", "0", "0",
                 "return function(n)\n local a = 0\n for i = 1, n do\n  if a > 1000000 then a = a - 1000000 end\n end\n"
                 " return a\nend\n"});
    return v;
  }();
  return v;
}

std::string program(const Body& b) {
  return std::string("process 6 L") + b.name + "\nstatements 1\n" + calc("", "J", std::to_string(kLoops).c_str()) +
         calc("", "A", "0") + calc("", "B", "0") + calc("", "C", "0") + b.pre + stmttext::loop("I", "1", "J") + b.stmts +
         line("", "END LOOP", {{0, "I"}}) +
         // A wrong result ends the run with LOGOUT's 24 instead of 2.
         test("", "IF", "B", 6, b.b.c_str()) + line("T", "LOGOUT", {{8, "N"}}) + test("", "IF", "C", 6, b.c.c_str()) +
         line("T", "LOGOUT", {{8, "N"}}) + line("", "END") + b.tail;
}

struct World {
  Engine e;
  bool ok = false;
  World() {
    bi_init_com();
    ii_families_register();
    e.start();
    ii_util_init();  // the engine fixture's accumulator takes opcode 52 otherwise
    e.dictionary();
    if (!pltest::usr_in_db1() || !pltest::compilers_on()) return;
    fx::write("APPL", nullptr, nullptr, {fx::appl("0LA", "00")});
    // The calculation variables, each work field its own data area, L: a
    // 5-byte fixed packed work field, and D: a date.
    std::vector<fx::Rec> els;
    int n = 0;
    for (const char* name : {"A", "B", "C", "I", "J", "L", "D", "Q", "P", "K"}) {
      ++n;
      bool l = name[0] == 'L', d = name[0] == 'D';
      els.push_back(fx::rec("ELEMENT", {{"area", std::to_string(3000100 + n)}, {"work", "1"}, {"name", name},
                                        {"kind", "1"}, {"ident_stamp", (n < 10 ? "2026-01-01T00:00:0" : "2026-01-01T00:00:") + std::to_string(n)},
                                        {"number", std::to_string(n)}, {"length", d ? "8" : l ? "5" : "9"},
                                        {"occurs", "1"}, {"type", d ? "4" : l ? "8" : "12"}, {"sign", d ? "0" : "1"},
                                        // (a date's units: century to day)
                                        {"digits", d ? "8" : l ? "9" : "15"}, {"decimals", d ? "5" : "0"},
                                        {"key_kind", "255"}}));
      if (d) rec::view<DElem>(els.back().data()).mask.set("08070605");
    }
    fx::write("ELEMENT", "0LA", "00", els);
    std::string text;
    std::vector<fx::Rec> procs;
    for (const Body& b : bodies()) {
      text += program(b);
      procs.push_back(proc_rec((std::string("L") + b.name).c_str(), 6, "0"));
    }
    SeFileResult r;
    if (se_read_file("loop.stmt", text, nullptr, &r) != 0) {
      for (const std::string& m : r.errors) std::fprintf(stderr, "%s\n", m.c_str());
      return;
    }
    std::vector<std::string> errs;
    if (se_store_dict("ABC", "00", nullptr, r.stmts, &errs) != int(r.stmts.size())) return;
    fx::write("PROCESS", "ABC", "00", procs);
    proc_svc.ii_proc_exec = ii_proc_exec;
    ok = pi_init() == 1;
  }
  ~World() { e.stop(); }
};

World& world() {
  static World w;
  return w;
}

void run_body(benchmark::State& st, const Body& b, bool plans) {
  World& w = world();
  if (!w.ok) {
    st.SkipWithError("statements not stored");
    return;
  }
  ii_loop_set_plans(plans);
  std::string name = std::string("L") + b.name;
  int rc = pltest::pi_run(name.c_str());  // compiled at its first run
  uint32_t before = pc_compile_count();
  for (auto _ : st) {
    if (rc != 2) {
      st.SkipWithError(("run ended with " + std::to_string(rc)).c_str());
      break;
    }
    rc = pltest::pi_run(name.c_str());
  }
  ii_loop_set_plans(true);
  st.counters["iter"] = benchmark::Counter(double(st.iterations()) * kLoops, benchmark::Counter::kIsRate);
  st.counters["compiles"] = double(pc_compile_count() - before);
}

}  // namespace

int main(int argc, char** argv) {
  world();  // (the statement texts take the spellings the engine loads)
  for (const Body& b : bodies()) {
    for (int plans : {1, 0})
      benchmark::RegisterBenchmark((std::string("BM_Sc/") + b.name + "/plans:" + std::to_string(plans)).c_str(),
                                   [&b, plans](benchmark::State& st) { run_body(st, b, plans != 0); })
          ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("BM_Lua/") + b.name).c_str(),
                                 [&b](benchmark::State& st) { lua_loop(st, b.lua.c_str(), kLoops); })
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
