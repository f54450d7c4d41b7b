// The interpreter loop against Lua 5.4, in the same run, on the same count
// of operations:
//   BM_IiMoves   8 test moves (8 bytes between two work fields, both
//                operands relocated field indexes) and one decrement-and-
//                branch per iteration: 9 instructions;
//   BM_LuaMoves  a numeric for loop of 8 assignments between locals: 9 VM
//                instructions (8 MOVE, 1 FORLOOP) per iteration;
//   BM_IiNops    a straight run of NOPs across chained blocks;
//   BM_IiMovesDebugBit  BM_IiMoves with a debugger control bit set (every
//                instruction then takes the slow path);
//   BM_IiMovesReturning  BM_IiMoves with handlers that return to the loop
//                instead of ending with ii_next (the loop's own speed).
// The counter "ops" is operations per second; the ratio is BM_IiMoves's
// over BM_LuaMoves's. The test handlers end as the frequent handlers of the
// statement families do, with ii_next: the move is two loads of relocated
// operands and an 8-byte copy, and the next handler is a jump away.
#include <benchmark/benchmark.h>

#include <cstring>

#include "lua_loop.h"

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "language/ib.h"
#include "language/ii.h"
#include "process/em.h"
#include "process/pcb.h"
#include "process/services.h"

namespace {

constexpr int kLoops = 100000;       // iterations per event point run
constexpr uint16_t kOpMove = 96;     // TEST_MOVE: IRA target at 4, IRA source at 8
constexpr uint16_t kOpDbnz = 98;     // TEST_DBNZ: IRA counter at 4, code at 8
constexpr uint16_t kOpMoveRet = 102; // the same two, returning to the loop
constexpr uint16_t kOpDbnzRet = 104;

// The address in the field word an IRA operand refers to.
inline uint8_t* field(const uint8_t* operand) { return ii_at(ii_at(operand)); }

// TEST_MOVE: 8 bytes from the source field to the target field.
uint8_t* inst_test_move(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  std::memcpy(field(pc + 4), field(pc + 8), 8);
  return ii_next(b, s, pc + 12);
}
// TEST_DBNZ: counter - 1; branch while it is not 0.
uint8_t* inst_test_dbnz(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& n = rec::view<rec::U32>(field(pc + 4));
  uint32_t v = n.get() - 1;
  n = v;
  return ii_next(b, s, v ? ii_at(pc + 8) : pc + 12);
}
uint8_t* inst_test_move_ret(IlfExecBlock*, IlfState*, uint8_t* pc) {
  std::memcpy(field(pc + 4), field(pc + 8), 8);
  return pc + 12;
}
uint8_t* inst_test_dbnz_ret(IlfExecBlock*, IlfState*, uint8_t* pc) {
  auto& n = rec::view<rec::U32>(field(pc + 4));
  uint32_t v = n.get() - 1;
  n = v;
  return v ? ii_at(pc + 8) : pc + 12;
}
uint8_t* inst_reset(IlfExecBlock*, IlfState*, uint8_t* pc) {  // counter (IRA at 4) := kLoops
  rec::view<rec::U32>(field(pc + 4)) = kLoops;
  return pc + 8;
}

struct Engine {
  MmPool pool = 0;
  EmHeader* em = nullptr;
  Pcb* pcb = nullptr;
  IbCode code;
  Ref<uint8_t>* areas = nullptr;
  uint32_t moves_entry = 0, moves_ret_entry = 0, nops_entry = 0;
  size_t nops = 0;

  static FmArb* mem(const char* c, int len) {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_MEMORY, len, 0, nullptr, 0);
    INIT_UNIQUE_PATH(&f, "EM", c, FM_PT_DATA);
    FM_CREATE(&f, 0, 0, 0, 15, 15);
    return f.handle.get();
  }
  static uint32_t word(CodeRef r) { return uint32_t(r.block) | uint32_t(r.offset) << 16; }
  uint8_t* emit(uint16_t op, size_t size, CodeRef* at = nullptr) {
    uint8_t* p = inst_alloc(size, at, &code);
    rec::view<IbInst>(p).op = op;
    return p;
  }

  Engine() {
    bi_init_com();
    fms_init();
    proc_services_reset();
    ii_init();
    IbOpDef move{"RLOC_TEST_MOVE", 12, IbLen::Fixed, 0, 2,
                 {{4, IbOpnd::Ira, 0}, {8, IbOpnd::Ira, 0}, {}, {}}};
    IbOpDef dbnz{"RLOC_TEST_DBNZ", 12, IbLen::Fixed, 0, 2,
                 {{4, IbOpnd::Ira, 0}, {8, IbOpnd::Code, 0}, {}, {}}};
    IbOpDef reset{"RLOC_TEST_RESET", 8, IbLen::Fixed, 0, 1, {{4, IbOpnd::Ira, 0}, {}, {}, {}}};
    ib_define_op(kOpMove, move, "INST_TEST_MOVE");
    ib_define_op(kOpDbnz, dbnz, "INST_TEST_DBNZ");
    ib_define_op(100, reset, "INST_TEST_RESET");
    ii_set_pair(kOpMove, inst_test_move);
    ii_set_pair(kOpDbnz, inst_test_dbnz);
    ib_define_op(kOpMoveRet, move, "INST_TEST_MOVE");
    ib_define_op(kOpDbnzRet, dbnz, "INST_TEST_DBNZ");
    ii_set_pair(kOpMoveRet, inst_test_move_ret);
    ii_set_pair(kOpDbnzRet, inst_test_dbnz_ret);
    ii_set_pair(100, inst_reset);

    pool = mm_create_pool(nullptr, 0, 0);
    em = static_cast<EmHeader*>(MM_ALLOC(pool, sizeof(EmHeader)));
    std::memset(em, 0, sizeof *em);
    em->pool = pool;
    FmFdb fi;
    INIT_INST_FDB(&fi);
    FM_CREATE(&fi, 0, 0, 0, 15, 15);
    em->inst.set(fi.handle.get());
    em->cnst.set(mem("CN", 16));
    // Areas: 1 the loop counter, 2-9 the eight work fields.
    em->n_areas = 9;
    areas = static_cast<Ref<uint8_t>*>(MM_ALLOC(pool, 4 * 10));
    auto* data = static_cast<uint8_t*>(MM_ALLOC(pool, 16 * 10));
    for (int i = 0; i <= 9; ++i) areas[i].set(data + 16 * i);
    em->area_addr.set(areas);
    pcb = static_cast<Pcb*>(MM_ALLOC(pool, sizeof(Pcb)));
    std::memset(pcb, 0, sizeof *pcb);
    pcb->module.set(em);
    pcb->area_addr.set(areas);
    ib_start(&code, em->inst.get());

    // The move loop: reset; body: 8 moves a=b .. h=a; dbnz; end.
    CodeRef at;
    auto move_loop = [&](uint16_t move_op, uint16_t dbnz_op) {
      CodeRef start;
      rec::view<rec::U32>(emit(100, 8, &start) + 4) = 1;
      CodeRef body;
      for (int i = 0; i < 8; ++i) {
        uint8_t* p = emit(move_op, 12, i == 0 ? &body : nullptr);
        rec::view<rec::U32>(p + 4) = uint32_t(2 + i);
        rec::view<rec::U32>(p + 8) = uint32_t(2 + (i + 1) % 8);
      }
      uint8_t* d = emit(dbnz_op, 12);
      rec::view<rec::U32>(d + 4) = 1;
      rec::view<CodeRef>(d + 8) = body;
      emit(10, 4);
      return word(start);
    };
    moves_entry = move_loop(kOpMove, kOpDbnz);
    moves_ret_entry = move_loop(kOpMoveRet, kOpDbnzRet);
    // The NOP run: 20 blocks of NOPs.
    emit(466, 4, &at);
    nops_entry = word(at);
    nops = 1;
    while (code.block < 25) {
      emit(466, 4);
      ++nops;
    }
    emit(10, 4);
  }
  void run(uint32_t entry) {
    IlfExecBlock b;
    II_EXEC_MISC(pcb, 21, &b, entry);
  }
};

Engine& engine() {
  static Engine e;
  return e;
}

void BM_IiMoves(benchmark::State& state) {
  Engine& e = engine();
  com.dbg_ctl_bits = 0;
  for (auto _ : state) e.run(e.moves_entry);
  state.counters["ops"] = benchmark::Counter(double(state.iterations()) * kLoops * 9,
                                             benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IiMoves)->Unit(benchmark::kMillisecond);

void BM_LuaMoves(benchmark::State& state) {
  lua_loop(state,
           "return function(n)\n"
           "  local a, b, c, d, e, f, g, h = 1, 2, 3, 4, 5, 6, 7, 8\n"
           "  for i = 1, n do\n"
           "    a = b; b = c; c = d; d = e; e = f; f = g; g = h; h = a\n"
           "  end\n"
           "  return a\n"
           "end\n",
           kLoops, "ops", 9);
}
BENCHMARK(BM_LuaMoves)->Unit(benchmark::kMillisecond);

void BM_IiNops(benchmark::State& state) {
  Engine& e = engine();
  com.dbg_ctl_bits = 0;
  for (auto _ : state) e.run(e.nops_entry);
  // NOPs, the chains between blocks and the END.
  state.counters["ops"] = benchmark::Counter(double(state.iterations()) * double(e.nops + 24 + 1),
                                             benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IiNops)->Unit(benchmark::kMicrosecond);

void BM_IiMovesDebugBit(benchmark::State& state) {
  Engine& e = engine();
  for (auto _ : state) {
    com.dbg_ctl_bits = kDbgBit24;  // a bit that stops nowhere
    e.run(e.moves_entry);
  }
  com.dbg_ctl_bits = 0;
  state.counters["ops"] = benchmark::Counter(double(state.iterations()) * kLoops * 9,
                                             benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IiMovesDebugBit)->Unit(benchmark::kMillisecond);

void BM_IiMovesReturning(benchmark::State& state) {
  Engine& e = engine();
  com.dbg_ctl_bits = 0;
  for (auto _ : state) e.run(e.moves_ret_entry);
  state.counters["ops"] = benchmark::Counter(double(state.iterations()) * kLoops * 9,
                                             benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IiMovesReturning)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
