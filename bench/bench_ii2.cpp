// A business loop on the interpreter against Lua 5.4, in the same run:
//   BEG LOOP I from 1 to N (packed)
//     CALC A = A + I * 3
//     IF A > 1000000
//     (T) CALC A = A - 1000000
//     CALC B = A
//   END LOOP I
// hand-assembled as the statement compiler lays it out (the compiler itself
// comes later): 26 to 32 instructions an iteration, every value packed
// decimal. BM_LuaInt runs the same loop on Lua integers, BM_LuaFloat on
// floats. The counter "iter" is loop iterations per second; the ratio is
// BM_IiCalcLoop's over BM_LuaInt's.
#include <benchmark/benchmark.h>

#include <cstring>

#include "lua_loop.h"

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/pd.h"
#include "language/ibctl.h"
#include "language/ibmath.h"
#include "language/ibtst.h"
#include "language/ibutil.h"
#include "language/iiutil.h"
#include "process/em.h"
#include "process/pcb.h"
#include "process/services.h"

namespace {

constexpr int kLoops = 100000;

struct Engine {
  MmPool pool = 0;
  EmHeader* em = nullptr;
  Pcb* pcb = nullptr;
  IbCode code;
  uint8_t* data = nullptr;
  uint8_t* var_a = nullptr;
  uint32_t entry = 0;
  enum Ira : uint32_t { kA = 1, kB, kI, kFrom, kTo, kStep, kThree, kMillion, kLcb, kCount };

  static uint32_t word(CodeRef r) { return uint32_t(r.block) | uint32_t(r.offset) << 16; }
  uint8_t* pd(uint32_t ix, const char* text) {
    uint8_t* p = data + 32 * ix;
    PdCva c{p, 8, 0};
    pd_cva(text, int(std::strlen(text)), '.', &c);
    p[8] = uint8_t(c.scale);
    return p;
  }
  void push(uint32_t ix, uint8_t type) {
    bld_ira(&code, ix, 1);
    bld_calc_load(&code, type);
  }

  Engine() {
    bi_init_com();
    fms_init();
    proc_services_reset();
    ii_families_register();
    ii_init();
    pool = mm_create_pool(nullptr, 0, 0);
    em = static_cast<EmHeader*>(MM_ALLOC(pool, sizeof(EmHeader)));
    std::memset(em, 0, sizeof *em);
    em->pool = pool;
    FmFdb fi;
    INIT_INST_FDB(&fi);
    FM_CREATE(&fi, 0, 0, 0, 15, 15);
    em->inst.set(fi.handle.get());
    em->n_areas = kCount;
    auto* areas = static_cast<Ref<uint8_t>*>(MM_ALLOC(pool, 4 * (kCount + 1)));
    data = static_cast<uint8_t*>(MM_ALLOC(pool, 32 * (kCount + 1)));
    std::memset(data, 0, 32 * (kCount + 1));
    for (uint32_t i = 0; i <= kCount; ++i) areas[i].set(data + 32 * i);
    em->area_addr.set(areas);
    pcb = static_cast<Pcb*>(MM_ALLOC(pool, sizeof(Pcb)));
    std::memset(pcb, 0, sizeof *pcb);
    pcb->module.set(em);
    pcb->area_addr.set(areas);
    ib_start(&code, em->inst.get());
    var_a = pd(kA, "0");
    pd(kB, "0");
    pd(kI, "0");
    pd(kFrom, "1");
    pd(kTo, std::to_string(kLoops).c_str());
    pd(kStep, "1");
    pd(kThree, "3");
    pd(kMillion, "1000000");

    CodeRef at = ib_here(&code);
    entry = word(at);
    // BEG LOOP I
    bld_ira(&code, kI, 1);
    bld_ira(&code, kFrom, 2);
    bld_ira(&code, kTo, 3);
    bld_ira(&code, kStep, 4);
    for (int r = 1; r <= 4; ++r) bld_addr_len(&code, r, 9);
    uint8_t* beg = bld_beg_loop(&code, false, kLcb);
    // CALC A = A + I * 3
    bld_calc_reset(&code);
    push(kA, 8);
    push(kA, 8);
    push(kI, 8);
    push(kThree, 12);
    bld_calc_eval(&code, '*');
    bld_calc_eval(&code, '+');
    bld_calc_eval(&code, '=');
    // IF A > 1000000
    bld_ira(&code, kA, 1);
    bld_ira(&code, kMillion, 2);
    uint32_t msg;
    bld_if_and_or(&code, {12, 9, 0, true, false}, {12, 9, 0, true, false}, 3, 38, 10, &msg);
    // (T) CALC A = A - 1000000
    uint8_t* tfc = bld_tfc(&code, CodeRef{}, 0x1FF);
    bld_calc_reset(&code);
    push(kA, 8);
    push(kA, 8);
    push(kMillion, 12);
    bld_calc_eval(&code, '-');
    bld_calc_eval(&code, '=');
    rec::view<IbTfc>(tfc).to = ib_here(&code);
    // CALC B = A
    bld_calc_reset(&code);
    push(kB, 8);
    push(kA, 8);
    bld_calc_eval(&code, '=');
    // END LOOP I
    bld_ira(&code, kI, 1);
    bld_addr_len(&code, 1, 9);
    bld_end_loop(&code, false, kLcb);
    rec::view<IbBegLoop>(beg).exit = ib_here(&code);
    bld_end(&code, false);
  }
  void run() {
    pd(kA, "0");
    IlfExecBlock b;
    II_EXEC_MISC(pcb, 21, &b, entry);
  }
};

Engine& engine() {
  static Engine e;
  return e;
}

void BM_IiCalcLoop(benchmark::State& state) {
  Engine& e = engine();
  for (auto _ : state) e.run();
  int32_t a = pd_var_bin(e.var_a);
  if (a != int32_t((3LL * kLoops * (kLoops + 1) / 2) % 1000000)) state.SkipWithError("wrong result");
  state.counters["plans"] = double(ii_math_plan_runs());
  state.counters["iter"] = benchmark::Counter(double(state.iterations()) * kLoops, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IiCalcLoop)->Unit(benchmark::kMillisecond);

void BM_LuaInt(benchmark::State& state) { lua_loop(state, kLuaIntLoop, kLoops); }
BENCHMARK(BM_LuaInt)->Unit(benchmark::kMillisecond);

void BM_LuaFloat(benchmark::State& state) { lua_loop(state, kLuaFloatLoop, kLoops); }
BENCHMARK(BM_LuaFloat)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
