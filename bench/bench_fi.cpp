// File statements against the same work in C++ and in SQLite, in one run on
// one machine: 100,000 records of 200 bytes in a native file (a binary key,
// a packed amount, filler), each read by its exact key with hold, its
// amount counted up by 1 and rewritten.
//
//   BM_Fi4gl     the Subroutine BUMP of bench/fi-app (FIB, database FBD):
//                BEG LOOP over the keys, COMPUTE the key, READ with hold,
//                COMPUTE the amount + 1, REWRITE; run by the engine users
//                run (`quvo -a FIB -t Subroutine -p BUMP`, through pi_exec
//                like every process), less the time of a run of an empty
//                Subroutine (the engine's start and end)
//   BM_FiCpp     the same loop in C++ on the same file: fm_read with hold
//                and exact key, pd_add, fm_rewrite
//   BM_FiSqlite  one table (integer primary key, amount, 188-byte filler),
//                prepared SELECT and UPDATE, WAL, synchronous off, each
//                UPDATE its own transaction
//
// Each benchmark runs once (the work is 100,000 changes); the counter
// "cycles" is read-change-rewrite cycles per second. Every run checks its
// result (each amount counted up once per run) and stops with an error
// otherwise. TMPDIR names the directory.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_world.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/pd.h"

namespace {

constexpr int kRecords = 100000;
constexpr int kLen = 200;

using Clock = std::chrono::steady_clock;

// A data directory with the application added and its file filled.
struct World : benchworld::World {
  World() : benchworld::World("fi", QUVO_BENCH_APPS, "FIB") {
    if (error.empty() && run("FILL") != 127) error = "FILL did not end with LOGOUT";
  }
  int run(const char* proc) const { return benchworld::World::run("FBD", "FIB", proc); }
};

World& world() {
  static World w;
  return w;
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void BM_Fi4gl(benchmark::State& st) {
  World& w = world();
  if (!w.error.empty()) {
    st.SkipWithError(w.error.c_str());
    return;
  }
  for (auto _ : st) {
    auto t0 = Clock::now();
    int e = w.run("EMPTY");
    auto t1 = Clock::now();
    int rc = w.run("BUMP");
    auto t2 = Clock::now();
    if (e != 127 || rc != 127) {
      st.SkipWithError("BUMP did not end with LOGOUT");
      return;
    }
    st.SetIterationTime(std::max(1e-6, seconds(t1, t2) - seconds(t0, t1)));
  }
  st.counters["cycles"] = benchmark::Counter(double(kRecords), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FiCpp(benchmark::State& st) {
  World& w = world();
  if (!w.error.empty()) {
    st.SkipWithError(w.error.c_str());
    return;
  }
  setenv("QUVOPATH", w.var.c_str(), 1);
  bi_init_com();
  fms_init();
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* rec = static_cast<uint8_t*>(MM_ALLOC(pool, kLen));
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_DISK, kLen, 0, nullptr, 0);
  INIT_DB_PATH(&f, "FBD", "FIB", "00", "FIBREC", FM_PT_DATA);
  f.stamp[0] = 0xFFFFFFFFu;
  f.stamp[1] = 0xFFFFFFFFu;
  if (!FM_OPEN(&f, 0, FM_OPT_NO_STRUCT, 15, 15)) {
    st.SkipWithError("FIBREC does not open");
    return;
  }
  FmArb* a = f.handle.get();
  uint8_t one[8];
  pd_cvp64(one, 8, 1);
  bool good = true;
  for (auto _ : st) {
    auto t0 = Clock::now();
    for (uint32_t k = 1; k <= uint32_t(kRecords) && good; ++k) {
      std::memcpy(rec, &k, 4);
      PROTO_FULL(a, 0, rec);
      a->op = FM_OP_HOLD | FM_OP_EQUAL;
      good = fm_read(a) && pd_add(rec + 4, 8, one, 8);
      a->op = 0;
      good = good && fm_rewrite(a);
    }
    st.SetIterationTime(seconds(t0, Clock::now()));
  }
  FM_CLOSE(a, 0);
  mm_destroy_pool(pool);
  fm_shutdown();
  if (!good) st.SkipWithError("a read or rewrite failed");
  st.counters["cycles"] = benchmark::Counter(double(kRecords), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FiSqlite(benchmark::State& st) {
  World& w = world();
  std::string path = w.root + "/fi.db";
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    st.SkipWithError("sqlite open");
    return;
  }
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "CREATE TABLE r(id INTEGER PRIMARY KEY, amount INTEGER, fill BLOB);", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO r VALUES(?, 0, ?)", -1, &ins, nullptr);
  std::string fill(kLen - 12, ' ');
  for (int k = 1; k <= kRecords; ++k) {
    sqlite3_bind_int(ins, 1, k);
    sqlite3_bind_blob(ins, 2, fill.data(), int(fill.size()), SQLITE_STATIC);
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_stmt *sel = nullptr, *upd = nullptr;
  sqlite3_prepare_v2(db, "SELECT amount FROM r WHERE id = ?", -1, &sel, nullptr);
  sqlite3_prepare_v2(db, "UPDATE r SET amount = ? WHERE id = ?", -1, &upd, nullptr);
  bool good = true;
  for (auto _ : st) {
    auto t0 = Clock::now();
    for (int k = 1; k <= kRecords && good; ++k) {
      sqlite3_bind_int(sel, 1, k);
      good = sqlite3_step(sel) == SQLITE_ROW;
      int64_t amount = good ? sqlite3_column_int64(sel, 0) : 0;
      sqlite3_reset(sel);
      sqlite3_bind_int64(upd, 1, amount + 1);
      sqlite3_bind_int(upd, 2, k);
      good = good && sqlite3_step(upd) == SQLITE_DONE;
      sqlite3_reset(upd);
    }
    st.SetIterationTime(seconds(t0, Clock::now()));
  }
  sqlite3_finalize(sel);
  sqlite3_finalize(upd);
  sqlite3_close(db);
  if (!good) st.SkipWithError("a select or update failed");
  st.counters["cycles"] = benchmark::Counter(double(kRecords), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_Fi4gl)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FiCpp)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FiSqlite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
