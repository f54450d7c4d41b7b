// Getting the module of one mid-size process, in the same run:
//   BM_PlCacheHit   pl_get of a cached module (verified against the
//                   dictionary) and its release;
//   BM_PlLoadSaved  pl_get from the saved module file (trust of its path,
//                   checksum, sub-files, verification against the dictionary
//                   and of its code, relocation, caching) with an empty cache;
//   BM_PlLoadSavedUnverified  the same without the code verifier's work;
//   BM_PlVerify     the code verifier alone on the loaded module;
//   BM_PlCompile    the anchor: pl_get compiling the process through the
//                   process compiler (pc_cmpl and the statement compiler,
//                   reading the dictionary) with an empty cache, as the
//                   first run of a process does (save flag '0', so the
//                   compile is measured without its save).
// The process: a Subroutine of 411 statements over event points 01-04 and
// 06, of the verbs the compiler builds (comments, LABEL, GOTO forward and
// back, END, END PROC, EXIT, LOGOUT, T/F columns of levels 1-3) and, as in
// the compiler's tests, SET statements that compile both operands as
// references to 40 work fields of the dictionary. The ratios are
// BM_PlCompile / BM_PlLoadSaved, BM_PlLoadSaved / BM_PlCacheHit and
// BM_PlVerify / BM_PlLoadSavedUnverified (the verifier's share of a load).
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "design/se.h"
#include "design/sefile.h"
#include "language/ib.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pc.h"
#include "process/pc_fixture.h"

using namespace pltest;

namespace {

constexpr int kFields = 40;

std::string line(const char* tf, const char* verb, const std::string& ops = "") {
  char b[128];
  std::snprintf(b, sizeof b, "%-5.5s %-8.8s %s", tf, verb, ops.c_str());
  std::string s = b;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string field(int i) { return "WF" + std::to_string(i); }

// SET: both operands compiled as references (the compiler's tests give the
// verb this form until its own compile function is built).
int set_refs(ScCtx* sc, DStmt* st) {
  CElem a, b;
  std::memset(static_cast<void*>(&a), 0, sizeof a);
  std::memset(static_cast<void*>(&b), 0, sizeof b);
  int k = 0;
  const auto& o1 = rec::view<ScOpnd>(st->ops.b);
  const auto& o2 = rec::view<ScOpnd>(st->ops.b + 30);
  if (!sc_cmpl_ref(sc, o1, &a, 1, &k, kScRefTarget) || !sc_cmpl_ref(sc, o2, &b, 2, &k, 0)) {
    sc_err(sc, sc_msg(sc));
    return 0;
  }
  return 1;
}
std::string set_line(const char* tf, const std::string& to, int occ, const std::string& from) {
  char b[128];
  char o[4] = "   ";
  if (occ) std::snprintf(o, sizeof o, "%03d", occ);
  std::snprintf(b, sizeof b, "ABC %-22.22s %3.3s =  ABC %-22.22s", to.c_str(), o, from.c_str());
  return line(tf, "SET", b);
}

// The statement text of one process named name.
std::string process_text(const char* name) {
  std::mt19937 rng(11);
  const char* cols[] = {"", "T", "F", "TT", "TF", "FT", "FF", "TTT", "TFF", "FTF"};
  std::string t = std::string("process 6 ") + name + "\n";
  int label = 0;
  for (int ep : {1, 2, 3, 4, 6}) {
    t += "statements " + std::to_string(ep) + "\n";
    for (int i = 0; i < 80; ++i) {
      int what = int(rng() % 10);
      const char* col = cols[rng() % 10];
      switch (what) {
        case 0: t += line("", "*", "keeps the customer totals per region and day") + "\n"; break;
        case 1: {
          std::string n = "L" + std::to_string(label++);
          t += line("", "GOTO", n) + "\n" + line("", "LABEL", n) + "\n";
          ++i;
          break;
        }
        case 2: {
          std::string n = "B" + std::to_string(label++);
          t += line("", "LABEL", n) + "\n" + line("F", "GOTO", n) + "\n";
          ++i;
          break;
        }
        case 3: t += line(col, "EXIT") + "\n"; break;
        case 4: t += line(col, "END") + "\n"; break;
        default: {
          int a = int(rng() % kFields), b = int(rng() % kFields);
          t += set_line(col, field(a), int(rng() % 4), field(b)) + "\n";
          break;
        }
      }
    }
    t += line("", "LOGOUT", "SYSTEM? N") + "\n" + line("", "END PROC") + "\n";
  }
  return t;
}

struct World {
  Engine e;
  Pcb* saved = nullptr;
  Pcb* compiled = nullptr;
  size_t stmts = 0;
  bool ok = false;
  World() {
    bi_init_com();
    ii_families_register();
    e.start();
    e.dictionary();
    e.user();
    if (!pltest::compilers_on()) return;
    sc_set_cmpl_fn(69, set_refs);
    fx::write("CHILD", "ABC", "00", {});
    fx::write("SELECT", "ABC", "00", {});
    fx::write("FILE", "0LA", "00", {});
    // The work fields the SET statements use (three occurrences each).
    std::vector<fx::Rec> fields;
    for (int i = 0; i < kFields; ++i) {
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2026-01-01T00:%02d:%02d", i / 60, i % 60);
      // Each work field its own data area (one area of all of them would be
      // as large as the first field's occurrences, and the code that moves
      // the others' is refused).
      fields.push_back(fx::rec("ELEMENT", {{"area", std::to_string(3000001 + i)}, {"work", "1"}, {"name", field(i)}, {"kind", "1"},
                                           {"ident_stamp", stamp}, {"number", std::to_string(i + 1)},
                                           {"length", std::to_string(4 + i % 12)}, {"occurs", "3"},
                                           {"type", "1"}, {"key_kind", "255"}}));
    }
    fx::write("ELEMENT", "ABC", "00", fields);
    SeFileResult r;
    if (se_read_file("bench.stmt", process_text("SAVED") + process_text("COMPILED"), nullptr, &r) != 0) return;
    std::vector<std::string> errs;
    if (se_store_dict("ABC", "00", nullptr, r.stmts, &errs) != int(r.stmts.size())) return;
    stmts = r.stmts.size() / 2;
    fx::write("PROCESS", "ABC", "00", {proc_rec("SAVED", 6, "1"), proc_rec("COMPILED", 6, "0", 50,
                                                                              "2026-05-05T00:00:00",
                                                                              "2026-05-05T00:00:00")});
    saved = e.pcb("SAVED", 2, 6);
    compiled = e.pcb("COMPILED", 2, 6);
    // The first get compiles and saves.
    if (!pl_get(saved, 0)) return;
    pl_release(saved);
    ok = true;
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
    if (!pl_get(p, 0)) {
      st.SkipWithError("pl_get failed");
      break;
    }
    pl_release(p);
  }
}

void BM_PlCacheHit(benchmark::State& st) {
  World& w = world();
  if (!w.ok) return st.SkipWithError("the process did not compile");
  pl_get(w.saved, 0);
  pl_release(w.saved);
  uint32_t before = pc_compile_count();
  get_once(st, w.saved, false);
  if (pc_compile_count() != before) st.SkipWithError("compiled");
}
BENCHMARK(BM_PlCacheHit);

void BM_PlLoadSaved(benchmark::State& st) {
  World& w = world();
  if (!w.ok) return st.SkipWithError("the process did not compile");
  uint32_t before = pc_compile_count();
  get_once(st, w.saved, true);
  if (pc_compile_count() != before) st.SkipWithError("compiled instead of loading");
}
BENCHMARK(BM_PlLoadSaved);

// The same load with the code verifier's work left out (a verifier that
// passes every module): the load as it was before every saved module was
// verified. BM_PlLoadSaved / BM_PlLoadSavedUnverified - 1 is the verifier's
// share of a load.
void BM_PlLoadSavedUnverified(benchmark::State& st) {
  World& w = world();
  if (!w.ok) return st.SkipWithError("the process did not compile");
  EmVerifier real = em_verifier();
  em_set_verifier([](EmHeader*, char*, size_t) { return 1; });
  uint32_t before = pc_compile_count();
  get_once(st, w.saved, true);
  em_set_verifier(real);
  if (pc_compile_count() != before) st.SkipWithError("compiled instead of loading");
}
BENCHMARK(BM_PlLoadSavedUnverified);

// The verifier alone on the loaded module (before its first run).
void BM_PlVerify(benchmark::State& st) {
  World& w = world();
  if (!w.ok) return st.SkipWithError("the process did not compile");
  pl_flush();
  if (!pl_get(w.saved, 0)) return st.SkipWithError("pl_get failed");
  EmHeader* em = w.saved->module.get();
  char why[160];
  for (auto _ : st)
    if (!ib_verify(em, why, sizeof why)) {
      st.SkipWithError(why);
      break;
    }
  pl_release(w.saved);
}
BENCHMARK(BM_PlVerify);

void BM_PlCompile(benchmark::State& st) {
  World& w = world();
  if (!w.ok) return st.SkipWithError("the process did not compile");
  uint32_t before = pc_compile_count();
  get_once(st, w.compiled, true);
  st.counters["compiles"] = double(pc_compile_count() - before);
  st.counters["statements"] = double(w.stmts);
}
BENCHMARK(BM_PlCompile);

}  // namespace

BENCHMARK_MAIN();
