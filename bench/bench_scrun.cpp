// The business loop of statement text, compiled once by the statement
// compiler and run by the interpreter through the process runner, against
// Lua 5.4 in the same run:
//   BEG LOOP I from 1 to J (packed; J = 100,000)
//     CALC A = A + I * 3
//     IF A > 1000000
//     (T) CALC A = A - 1000000
//     CALC B = A
//   END LOOP I
// BM_ScCalcLoop invokes the Subroutine once an iteration (compiled on the
// first run, then from the loader's cache: the counter "compiles" of the
// measured runs is 0) and checks B at the end of each; BM_LuaInt
// runs the same loop on Lua integers, BM_LuaFloat on floats. The counter
// "iter" is loop iterations per second; the ratio is BM_ScCalcLoop's over
// BM_LuaInt's.
#include <benchmark/benchmark.h>

#include "lua_loop.h"

#include <string>

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

long long expected() {
  long long a = 0;
  for (long long i = 1; i <= kLoops; ++i) {
    a += i * 3;
    if (a > 1000000) a -= 1000000;
  }
  return a;
}

std::string program() {
  return "process 6 LOOP\nstatements 1\n" + calc("", "J", std::to_string(kLoops).c_str()) + calc("", "A", "0") +
         line("", "BEG LOOP", {{0, "I"}, {5, "1"}, {12, "J"}, {22, "1"}}) + calc("", "A", "A + I * 3") +
         line("", "IF", {{0, "---"}, {4, "A"}, {31, std::string(se_rel_code(3))}, {38, "1000000"}}) +
         calc("T", "A", "A - 1000000") + calc("", "B", "A") + line("", "END LOOP", {{0, "I"}}) +
         // A wrong result ends the run with LOGOUT's 24 instead of 2.
         line("", "IF", {{0, "---"}, {4, "B"}, {31, std::string(se_rel_code(6))}, {38, std::to_string(expected())}}) +
         line("T", "LOGOUT", {{8, "N"}});
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
    // The calculation variables, each work field its own data area.
    std::vector<fx::Rec> els;
    int n = 0;
    for (const char* name : {"A", "B", "I", "J"}) {
      ++n;
      els.push_back(fx::rec("ELEMENT", {{"area", std::to_string(3000100 + n)}, {"work", "1"}, {"name", name},
                                        {"kind", "1"}, {"ident_stamp", "2026-01-01T00:00:0" + std::to_string(n)},
                                        {"number", std::to_string(n)}, {"length", "9"}, {"occurs", "1"},
                                        {"type", "12"}, {"sign", "1"}, {"digits", "15"}, {"key_kind", "255"}}));
    }
    fx::write("ELEMENT", "0LA", "00", els);
    SeFileResult r;
    if (se_read_file("loop.stmt", program(), nullptr, &r) != 0) return;
    std::vector<std::string> errs;
    if (se_store_dict("ABC", "00", nullptr, r.stmts, &errs) != int(r.stmts.size())) return;
    fx::write("PROCESS", "ABC", "00", {proc_rec("LOOP", 6, "0")});
    proc_svc.ii_proc_exec = ii_proc_exec;
    ok = pi_init() == 1;
  }
  ~World() { e.stop(); }
  int run() { return pltest::pi_run("LOOP"); }
};

World& world() {
  static World w;
  return w;
}

void BM_ScCalcLoop(benchmark::State& st) {
  World& w = world();
  if (!w.ok) {
    st.SkipWithError("statements not stored");
    return;
  }
  uint32_t before = pc_compile_count();
  for (auto _ : st) {
    int rc = w.run();
    if (rc != 2) {
      st.SkipWithError(("run ended with " + std::to_string(rc)).c_str());
      break;
    }
  }
  st.counters["iter"] = benchmark::Counter(double(st.iterations()) * kLoops, benchmark::Counter::kIsRate);
  st.counters["compiles"] = double(pc_compile_count() - before);
}
BENCHMARK(BM_ScCalcLoop)->Unit(benchmark::kMillisecond);

void BM_LuaInt(benchmark::State& state) { lua_loop(state, kLuaIntLoop, kLoops); }
BENCHMARK(BM_LuaInt)->Unit(benchmark::kMillisecond);

void BM_LuaFloat(benchmark::State& state) { lua_loop(state, kLuaFloatLoop, kLoops); }
BENCHMARK(BM_LuaFloat)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
