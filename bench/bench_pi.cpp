// Running a process, in the same run:
//   BM_PiInvoke     pi_exec of a Subroutine whose module is cached: defaults,
//                   family, PCB, module (cache hit), data areas, event
//                   points 01 and 06 through the interpreter, the family
//                   discard;
//   BM_PlCacheHit   the anchor: pl_get's cache hit of the same module and
//                   its release alone.
// The ratio BM_PiInvoke / BM_PlCacheHit is what the runner adds to getting
// the module. BM_PiSteady runs 100,000 invocations (normal, CANCEL, refused,
// a parent with SUBPROCESS children) and reports how the arena, the pools,
// the memory files and the handles after them differ from after the first
// 1,000 (all four counters should be 0). BM_PiInvokeMemFiles/N is
// BM_PiInvoke with N more memory-resident files in an outer scope (as an
// application that keeps its work files open while it calls Subroutines):
// an invocation should cost the same whatever N. The parent makes a memory-resident
// file and runs, besides its two SUBPROCESS children (whose modules carry
// compiled frames, images, items and children, so each new PCB builds its
// tables), an independent child that gets its own copy of the file.
#include <benchmark/benchmark.h>

#include <functional>

#include "process/pl_fixture.h"
#include "process/piexec.h"
#include "process/pishr.h"

using namespace pltest;

namespace {

std::function<void(Pcb*)> g_ap;
bool g_cancel = false;
void ap_children(Pcb* p) {
  if (g_cancel) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "bench cancel");
    os_sys_err("BENCH", 1);
  }
  if (g_ap) g_ap(p);
  ut_unwind(2);
}

// PAR and IND: area 8 is MEMF's control area; KID: two frames, images,
// items and children.
int bench_compiler(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  if (!ok) return ok;
  EmHeader* em = c->em;
  if (em->proc_name == "PAR" || em->proc_name == "IND") {
    auto* t = reinterpret_cast<EmAreaEntry*>(em->area_table.get());
    t[8].kind = 1;
    t[8].size = uint32_t(sizeof(PiFileCtl));
  }
  if (!(em->proc_name == "KID")) return 1;
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(em->pool, 512));
  auto put = [&](FmArb* f) {
    PROTO_FULL(f, 0, buf);
    fm_write(f);
    std::memset(buf, 0, 512);
  };
  std::memset(buf, 0, 512);
  for (uint32_t s = 1; s <= 2; ++s) {
    rec::view<EmCfrm>(buf).seq = s;
    rec::view<EmCfrm>(buf).number = s;
    put(em->cfrm.get());
    rec::view<EmCimg>(buf).seq = s;
    rec::view<EmCimg>(buf).image_no = uint8_t(s);
    put(em->cimg.get());
    rec::view<EmCitm>(buf).wm.row = int32_t(s);
    rec::view<EmCitm>(buf).item_no = uint16_t(s);
    put(em->citm.get());
    rec::view<EmCchld>(buf).seq = s;
    put(em->cchld.get());
  }
  mm_free(buf);
  em->n_frames = uint16_t(2);
  em->n_images = uint16_t(2);
  em->n_items = uint16_t(2);
  em->n_children = uint16_t(2);
  return 1;
}

struct World {
  Engine e;
  Pcb* probe = nullptr;
  World() {
    bi_init_com();
    e.start();
    e.dictionary();
    auto u = fx::user("USR");
    rec::view<DUser>(u.data()).db.set("DB1");
    rec::view<DUser>(u.data()).profile.set("P");
    fx::write("USER", nullptr, nullptr, {u});
    fx::write("DATABASE", nullptr, nullptr, {fx::rec("DATABASE", {{"id", "DB1"}, {"app", "ABC"}, {"ver", "00"}})});
    fx::Rec prof = fx::rec("PROFILE", {{"name", "P"}});
    rec::view<DProfile>(prof.data()).bits.zero();
    fx::write("PROFILE", nullptr, nullptr, {prof});
    Desc d;
    for (uint32_t i = 0; i < 50; ++i) d.values.push_back(i * 7 + 1);
    for (uint32_t i = 0; i < 10; ++i) d.constants.push_back(i * 13 + 5);
    std::vector<fx::Rec> recs;
    int n = 0;
    for (auto [name, type] : {std::pair{"SUB", 6}, {"PAR", 4}, {"KID", 6}, {"REF", 6}, {"IND", 6}}) {
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2026-01-01T00:00:%02d", ++n);
      fx::Rec r = proc_rec(name, type, "0", 50, stamp, stamp);
      if (std::string(name) == "REF") rec::view<DProc>(r.data()).secr[0].set("7");
      recs.push_back(r);
      descs()[name] = d;
    }
    fx::write("PROCESS", "ABC", "00", recs);
    descs()["PAR"].cfi = {memfile_cfi()};
    descs()["IND"].cfi = {memfile_cfi()};
    std::vector<fx::Rec> images;
    for (uint8_t kind = 1; kind <= 2; ++kind) {
      fx::Rec r(13 + 16, ' ');
      std::memcpy(r.data(), "MEMF    ", 8);
      r[8] = kind;
      rec::view<rec::U32>(r.data() + 9) = 1u;
      images.push_back(r);
    }
    fx::write("INITIAL", "ABC", "00", images);
    em_set_compiler(bench_compiler);
    pi_getters_reset();
    pi_init();
    probe = e.pcb("SUB", 2, 6);
    proc_svc.ap_exec = ap_children;
  }
  ~World() {
    pi_init();
    e.stop();
  }
};

World& world() {
  static World w;
  return w;
}


void BM_PiInvoke(benchmark::State& st) {
  World& w = world();
  (void)w;
  PiInvoc v = abc_invoc("SUB", 6);
  pi_run(&v);  // compiles and caches
  for (auto _ : st) {
    PiInvoc r = abc_invoc("SUB", 6);
    if (pi_run(&r) != 2) {
      st.SkipWithError("the run did not end with 2");
      break;
    }
  }
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_PiInvoke);

void BM_PiInvokeMemFiles(benchmark::State& st) {
  World& w = world();
  (void)w;
  PiInvoc v = abc_invoc("SUB", 6);
  pi_run(&v);
  size_t before = fm_memfile_count();
  mark(1, [&] {
    for (int64_t i = 0; i < st.range(0); ++i) {
      EmCfi c = memfile_cfi();
      char name[16];
      std::snprintf(name, sizeof name, "W%07d", int(i));
      c.fdb.name.set(name);
      if (FM_CREATE(&c.fdb, com.depth, 0, 0, 15, 15)) FM_CLOSE(c.fdb.handle.get(), 0);
    }
    st.counters["memfiles"] = double(fm_memfile_count());
    for (auto _ : st) {
      PiInvoc r = abc_invoc("SUB", 6);
      if (pi_run(&r) != 2) {
        st.SkipWithError("the run did not end with 2");
        break;
      }
    }
  });
  if (fm_memfile_count() != before) st.SkipWithError("the scope's memory files outlived it");
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_PiInvokeMemFiles)->Arg(0)->Arg(1000)->Arg(10000);

void BM_PlCacheHit(benchmark::State& st) {
  World& w = world();
  PiInvoc v = abc_invoc("SUB", 6);
  pi_run(&v);
  std::memcpy(&w.probe->invoc, &v, 36);
  for (auto _ : st) {
    if (!pl_get(w.probe, 1)) {
      st.SkipWithError("pl_get failed");
      break;
    }
    pl_release(w.probe);
  }
  st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_PlCacheHit);

void BM_PiSteady(benchmark::State& st) {
  World& w = world();
  (void)w;
  SysErrAnswer (*cancel)(const char*, int, const char*) = [](const char*, int, const char*) {
    return SysErrAnswer::Cancel;
  };
  os_set_sys_err_responder(cancel);
  g_ap = [](Pcb* parent) {
    FmFdb f = memfile_cfi().fdb;
    if (FM_CREATE(&f, parent->pool_scope, 0, 0, 15, 15)) {
      auto* rec = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), 16));
      std::memset(rec, 'p', 16);
      PROTO_FULL(f.handle.get(), 0, rec);
      fm_write(f.handle.get());
      mm_free(rec);
    }
    for (int i = 0; i < 2; ++i) {
      PiInvoc k = abc_invoc("KID", 6, 0, parent);
      pi_exec(&k);
    }
    PiInvoc i = abc_invoc("IND", 6, 0, parent);
    i.independent = 1;
    pi_exec(&i);
  };
  auto round = [](int i) {
    switch (i % 4) {
      case 0: {
        PiInvoc v = abc_invoc("SUB", 6);
        pi_run(&v);
        break;
      }
      case 1: {  // CANCEL: a system error inside the executor
        g_cancel = true;
        PiInvoc v = abc_invoc("PAR", 4);
        pi_run(&v);
        g_cancel = false;
        break;
      }
      case 2: {
        PiInvoc v = abc_invoc("REF", 6);
        pi_run(&v);
        break;
      }
      default: {
        PiInvoc v = abc_invoc("PAR", 4);
        pi_run(&v);
      }
    }
  };
  int64_t d_arena = 0, d_pools = 0, d_files = 0, d_handles = 0;
  for (auto _ : st) {
    for (int i = 0; i < 1000; ++i) round(i);
    size_t a = arena::in_use(), p = mm_pool_count(), f = fm_memfile_count(), h = fm_open_count();
    for (int i = 0; i < 99000; ++i) round(i);
    d_arena = int64_t(arena::in_use()) - int64_t(a);
    d_pools = int64_t(mm_pool_count()) - int64_t(p);
    d_files = int64_t(fm_memfile_count()) - int64_t(f);
    d_handles = int64_t(fm_open_count()) - int64_t(h);
  }
  os_set_sys_err_responder(nullptr);
  g_ap = nullptr;
  st.counters["arena_diff"] = double(d_arena);
  st.counters["pools_diff"] = double(d_pools);
  st.counters["memfiles_diff"] = double(d_files);
  st.counters["handles_diff"] = double(d_handles);
  st.counters["arena_in_use"] = double(arena::in_use());
}
BENCHMARK(BM_PiSteady)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
