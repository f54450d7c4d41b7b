// Getting the module of one mid-size process, in the same run:
//   BM_PlCacheHit   pl_get of a cached module (verified against the
//                   dictionary) and its release;
//   BM_PlLoadSaved  pl_get from the saved module file (checksum, sub-files,
//                   verification, relocation, caching) with an empty cache;
//   BM_PlCompile    the anchor: pl_get compiling the process (save flag '0')
//                   with an empty cache. Until the process compiler exists
//                   the compile is the test fixture's, which builds the
//                   module from a description without reading a dictionary;
//                   a real compile costs far more.
// The module: 1,500 instructions over several blocks, 200 constants, an area
// table of 8 areas, a CAP record, a TOC and a TRAP record. The ratios are
// BM_PlCompile / BM_PlLoadSaved and BM_PlLoadSaved / BM_PlCacheHit.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "process/pl_fixture.h"

using namespace pltest;

namespace {

struct World {
  Engine e;
  Pcb* saved = nullptr;
  Pcb* compiled = nullptr;
  World() {
    bi_init_com();
    e.start();
    e.dictionary();
    e.user();
    Desc d;
    for (uint32_t i = 0; i < 1300; ++i) d.values.push_back(i * 7 + 1);
    for (uint32_t i = 0; i < 200; ++i) d.constants.push_back(i * 13 + 5);
    descs()["SAVED"] = d;
    descs()["COMPILED"] = d;
    fx::write("PROCESS", "ABC", "00",
              {proc_rec("SAVED", 4, "1"), proc_rec("COMPILED", 4, "0", 50, "2026-05-05T00:00:00",
                                                    "2026-05-05T00:00:00")});
    saved = e.pcb("SAVED");
    compiled = e.pcb("COMPILED");
    // The first get compiles and saves.
    pl_get(saved, 1);
    pl_release(saved);
  }
  ~World() { e.stop(); }
};

World& world() {
  static World w;
  return w;
}

void get_once(benchmark::State& st, Pcb* p, bool flush) {
  for (auto _ : st) {
    if (flush) pl_flush();
    if (!pl_get(p, 1)) {
      st.SkipWithError("pl_get failed");
      break;
    }
    pl_release(p);
  }
}

void BM_PlCacheHit(benchmark::State& st) {
  World& w = world();
  pl_get(w.saved, 1);
  pl_release(w.saved);
  int before = compiles();
  get_once(st, w.saved, false);
  if (compiles() != before) st.SkipWithError("compiled");
}
BENCHMARK(BM_PlCacheHit);

void BM_PlLoadSaved(benchmark::State& st) {
  World& w = world();
  int before = compiles();
  get_once(st, w.saved, true);
  if (compiles() != before) st.SkipWithError("compiled instead of loading");
}
BENCHMARK(BM_PlLoadSaved);

void BM_PlCompile(benchmark::State& st) {
  World& w = world();
  int before = compiles();
  get_once(st, w.compiled, true);
  st.counters["compiles"] = double(compiles() - before);
}
BENCHMARK(BM_PlCompile);

}  // namespace

BENCHMARK_MAIN();
