// Native record files against SQLite and LMDB, in one run on one machine:
// the same records (1,000,000 of 200 bytes: a unique 20-byte key, a 4-byte
// duplicate key, payload) inserted in random key order, read by random key,
// scanned in key order, rewritten and deleted at random.
//
// Every operation is its own committed change, as in the engine (a write is
// acknowledged when it returns): the native files through the record
// interface (fm_write, fm_read, fm_rdnxt, a read with hold then fm_rewrite /
// fm_del); SQLite with one table (rowid, a unique index on the key, an index
// on the duplicate key), prepared statements, WAL, synchronous off, and a
// page cache and memory map big enough for the whole database; LMDB with a
// main database by key and a duplicate-sorted database for the second key,
// no sync, one transaction per change and a read transaction per read.
//
// QUVO_BENCH_BRF_N sets the record count (default 1,000,000); TMPDIR the
// directory. After the runs a table of the native rates against the others.
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "files/brf.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/ut.h"

namespace {

constexpr int kRec = 200;

size_t count() {
  static size_t n = [] {
    const char* v = std::getenv("QUVO_BENCH_BRF_N");
    long x = v ? std::atol(v) : 0;
    return x > 0 ? size_t(x) : size_t(1000000);
  }();
  return n;
}

std::string g_dir;

struct Data {
  std::vector<uint32_t> insert_order, read_order, change_order;
  Data() {
    size_t n = count();
    insert_order.resize(n);
    std::iota(insert_order.begin(), insert_order.end(), 0u);
    read_order = change_order = insert_order;
    std::mt19937 rng(42);
    std::shuffle(insert_order.begin(), insert_order.end(), rng);
    std::shuffle(read_order.begin(), read_order.end(), rng);
    std::shuffle(change_order.begin(), change_order.end(), rng);
  }
};
const Data& data() {
  static Data d;
  return d;
}

void key_of(uint32_t id, uint8_t* k) {
  char b[24];
  std::snprintf(b, sizeof b, "%020u", id * 2654435761u % 4000000007u);
  std::memcpy(k, b, 20);
}
uint32_t group_of(uint32_t id) { return id % 1000; }
void make_rec(uint32_t id, uint32_t salt, uint8_t* r) {
  key_of(id, r);
  uint32_t g = group_of(id);
  std::memcpy(r + 20, &g, 4);
  for (int i = 24; i < kRec; ++i) r[i] = uint8_t(id + salt + i);
}

// Operations per second of each engine and operation, for the summary.
std::map<std::string, std::map<std::string, double>> g_rates;

template <class F>
void timed(benchmark::State& st, const char* engine, const char* op, size_t n, F&& body) {
  for (auto _ : st) {
    auto t0 = std::chrono::steady_clock::now();
    body();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    g_rates[op][engine] = double(n) / s;
  }
  st.SetItemsProcessed(int64_t(n));
}

// ------------------------------------------------------------ native --
struct Native {
  MmPool pool = 0;
  FmArb* a = nullptr;
  uint8_t* buf = nullptr;
  uint8_t* key = nullptr;
} N;

void native_open() {
  setenv("QUVOPATH", g_dir.c_str(), 1);
  fms_init();
  N.pool = mm_create_pool(" BENCHBRF  ", 0, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(N.pool, 2 * sizeof(FmKdb)));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(N.pool, 2 * sizeof(FmSdb)));
  init_sdb_func(&sdb[0], 1, 0, 20, FM_SEG_ALPHA, '+');
  init_sdb_func(&sdb[1], 2, 20, 4, FM_SEG_BINARY, '+');
  INIT_KDB(&kdb[0], 0, '+', 8, &sdb[0], 1);
  INIT_KDB(&kdb[1], 1, '+', 9, &sdb[1], 1);
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_DISK, kRec, 0, kdb, 2);
  INIT_DB_PATH(&f, "BEN", "BRF", "01", "BENCH", FM_PT_DATA);
  if (!FM_CREATE(&f, 0, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) {
    std::fprintf(stderr, "native create failed: %u %s\n", unsigned(f.status), brf_error().c_str());
    std::exit(1);
  }
  N.a = f.handle.get();
  N.buf = static_cast<uint8_t*>(MM_ALLOC(N.pool, kRec));
  N.key = static_cast<uint8_t*>(MM_ALLOC(N.pool, 20));
}

[[noreturn]] void die(const char* what, uint32_t status) {
  std::fprintf(stderr, "native %s failed: %u %s\n", what, unsigned(status), brf_error().c_str());
  std::exit(1);
}

bool native_read(uint32_t id, uint16_t op) {
  key_of(id, N.key);
  FmArb* a = N.a;
  a->rec.set(N.buf);
  a->rec_len = 0;
  a->key.set(N.key);
  a->key_len = 20;
  a->key_no = 0;
  a->op = uint16_t(FM_OP_KEY | FM_OP_EQUAL | op);
  return fm_read(a);
}

void BM_Native_Insert(benchmark::State& st) {
  native_open();
  timed(st, "native", "insert", count(), [] {
    for (uint32_t id : data().insert_order) {
      make_rec(id, 0, N.buf);
      N.a->rec.set(N.buf);
      N.a->rec_len = 0;
      N.a->op = 0;
      if (!fm_write(N.a)) die("write", N.a->status);
    }
  });
}
void BM_Native_Read(benchmark::State& st) {
  timed(st, "native", "keyed read", count(), [] {
    for (uint32_t id : data().read_order)
      if (!native_read(id, 0)) die("read", N.a->status);
  });
}
void BM_Native_Scan(benchmark::State& st) {
  timed(st, "native", "ordered scan", count(), [] {
    FmArb* a = N.a;
    a->key_no = 0;
    a->op = FM_OP_FIRST;
    fm_start(a);
    a->op = 0;
    size_t n = 0;
    while (fm_rdnxt(a)) ++n;
    if (n != count()) die("scan", a->status);
  });
}
void BM_Native_Rewrite(benchmark::State& st) {
  timed(st, "native", "rewrite", count(), [] {
    for (uint32_t id : data().change_order) {
      if (!native_read(id, FM_OP_HOLD)) die("read for rewrite", N.a->status);
      make_rec(id, 1, N.buf);
      N.a->op = 0;
      if (!fm_rewrite(N.a)) die("rewrite", N.a->status);
    }
  });
}
void BM_Native_Delete(benchmark::State& st) {
  timed(st, "native", "delete", count(), [] {
    for (uint32_t id : data().read_order) {
      if (!native_read(id, FM_OP_HOLD)) die("read for delete", N.a->status);
      if (!fm_del(N.a)) die("delete", N.a->status);
    }
  });
  FM_CLOSE(N.a, FM_CL_SCRATCH);
}

// ------------------------------------------------------------ SQLite --
struct Sql {
  sqlite3* db = nullptr;
  sqlite3_stmt *ins = nullptr, *get = nullptr, *scan = nullptr, *upd = nullptr, *del = nullptr;
} S;

void sql_check(int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(S.db));
    std::exit(1);
  }
}

void BM_Sqlite_Insert(benchmark::State& st) {
  std::string path = g_dir + "/bench.sqlite";
  sql_check(sqlite3_open(path.c_str(), &S.db), "open");
  const char* setup =
      "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA cache_size=-2000000;"
      "PRAGMA mmap_size=4000000000;"
      "CREATE TABLE t(id INTEGER PRIMARY KEY, k BLOB NOT NULL UNIQUE, g INTEGER NOT NULL, v BLOB NOT NULL);"
      "CREATE INDEX tg ON t(g);";
  sql_check(sqlite3_exec(S.db, setup, nullptr, nullptr, nullptr), "setup");
  sql_check(sqlite3_prepare_v2(S.db, "INSERT INTO t(k,g,v) VALUES(?,?,?)", -1, &S.ins, nullptr), "prepare");
  sql_check(sqlite3_prepare_v2(S.db, "SELECT g,v FROM t WHERE k=?", -1, &S.get, nullptr), "prepare");
  sql_check(sqlite3_prepare_v2(S.db, "SELECT k,g,v FROM t ORDER BY k", -1, &S.scan, nullptr), "prepare");
  sql_check(sqlite3_prepare_v2(S.db, "UPDATE t SET v=? WHERE k=?", -1, &S.upd, nullptr), "prepare");
  sql_check(sqlite3_prepare_v2(S.db, "DELETE FROM t WHERE k=?", -1, &S.del, nullptr), "prepare");
  timed(st, "sqlite", "insert", count(), [] {
    uint8_t r[kRec];
    for (uint32_t id : data().insert_order) {
      make_rec(id, 0, r);
      sqlite3_bind_blob(S.ins, 1, r, 20, SQLITE_STATIC);
      sqlite3_bind_int(S.ins, 2, int(group_of(id)));
      sqlite3_bind_blob(S.ins, 3, r + 24, kRec - 24, SQLITE_STATIC);
      sql_check(sqlite3_step(S.ins), "insert");
      sqlite3_reset(S.ins);
    }
  });
}
void BM_Sqlite_Read(benchmark::State& st) {
  timed(st, "sqlite", "keyed read", count(), [] {
    uint8_t k[20], out[kRec];
    for (uint32_t id : data().read_order) {
      key_of(id, k);
      sqlite3_bind_blob(S.get, 1, k, 20, SQLITE_STATIC);
      if (sqlite3_step(S.get) != SQLITE_ROW) sql_check(SQLITE_ERROR, "read");
      uint32_t g = uint32_t(sqlite3_column_int(S.get, 0));
      std::memcpy(out + 20, &g, 4);
      std::memcpy(out + 24, sqlite3_column_blob(S.get, 1), size_t(sqlite3_column_bytes(S.get, 1)));
      benchmark::DoNotOptimize(out);
      sqlite3_reset(S.get);
    }
  });
}
void BM_Sqlite_Scan(benchmark::State& st) {
  timed(st, "sqlite", "ordered scan", count(), [] {
    uint8_t out[kRec];
    size_t n = 0;
    while (sqlite3_step(S.scan) == SQLITE_ROW) {
      std::memcpy(out, sqlite3_column_blob(S.scan, 0), 20);
      uint32_t g = uint32_t(sqlite3_column_int(S.scan, 1));
      std::memcpy(out + 20, &g, 4);
      std::memcpy(out + 24, sqlite3_column_blob(S.scan, 2), size_t(sqlite3_column_bytes(S.scan, 2)));
      benchmark::DoNotOptimize(out);
      ++n;
    }
    sqlite3_reset(S.scan);
    if (n != count()) sql_check(SQLITE_ERROR, "scan");
  });
}
void BM_Sqlite_Rewrite(benchmark::State& st) {
  timed(st, "sqlite", "rewrite", count(), [] {
    uint8_t r[kRec];
    for (uint32_t id : data().change_order) {
      make_rec(id, 1, r);
      sqlite3_bind_blob(S.upd, 1, r + 24, kRec - 24, SQLITE_STATIC);
      sqlite3_bind_blob(S.upd, 2, r, 20, SQLITE_STATIC);
      sql_check(sqlite3_step(S.upd), "update");
      sqlite3_reset(S.upd);
    }
  });
}
void BM_Sqlite_Delete(benchmark::State& st) {
  timed(st, "sqlite", "delete", count(), [] {
    uint8_t k[20];
    for (uint32_t id : data().read_order) {
      key_of(id, k);
      sqlite3_bind_blob(S.del, 1, k, 20, SQLITE_STATIC);
      sql_check(sqlite3_step(S.del), "delete");
      sqlite3_reset(S.del);
    }
  });
  for (sqlite3_stmt* s : {S.ins, S.get, S.scan, S.upd, S.del}) sqlite3_finalize(s);
  sqlite3_close(S.db);
}

// -------------------------------------------------------------- LMDB --
struct Lmdb {
  MDB_env* env = nullptr;
  MDB_dbi main = 0, byg = 0;
  MDB_txn* rtxn = nullptr;
} L;

void lm_check(int rc, const char* what) {
  if (rc != 0) {
    std::fprintf(stderr, "lmdb %s: %s\n", what, mdb_strerror(rc));
    std::exit(1);
  }
}

void BM_Lmdb_Insert(benchmark::State& st) {
  std::string dir = g_dir + "/lmdb";
  std::filesystem::create_directories(dir);
  lm_check(mdb_env_create(&L.env), "env");
  mdb_env_set_mapsize(L.env, size_t(16) << 30);
  mdb_env_set_maxdbs(L.env, 4);
  lm_check(mdb_env_open(L.env, dir.c_str(), MDB_NOSYNC | MDB_NOMETASYNC, 0644), "open");
  MDB_txn* t;
  lm_check(mdb_txn_begin(L.env, nullptr, 0, &t), "txn");
  lm_check(mdb_dbi_open(t, "main", MDB_CREATE, &L.main), "dbi");
  lm_check(mdb_dbi_open(t, "byg", MDB_CREATE | MDB_DUPSORT, &L.byg), "dbi");
  lm_check(mdb_txn_commit(t), "commit");
  timed(st, "lmdb", "insert", count(), [] {
    uint8_t r[kRec];
    for (uint32_t id : data().insert_order) {
      make_rec(id, 0, r);
      uint32_t g = group_of(id);
      MDB_txn* t;
      lm_check(mdb_txn_begin(L.env, nullptr, 0, &t), "txn");
      MDB_val k{20, r}, v{kRec - 20, r + 20}, gk{4, &g}, gv{20, r};
      lm_check(mdb_put(t, L.main, &k, &v, MDB_NOOVERWRITE), "put");
      lm_check(mdb_put(t, L.byg, &gk, &gv, 0), "put");
      lm_check(mdb_txn_commit(t), "commit");
    }
  });
}
void BM_Lmdb_Read(benchmark::State& st) {
  lm_check(mdb_txn_begin(L.env, nullptr, MDB_RDONLY, &L.rtxn), "rtxn");
  mdb_txn_reset(L.rtxn);
  timed(st, "lmdb", "keyed read", count(), [] {
    uint8_t kb[20], out[kRec];
    for (uint32_t id : data().read_order) {
      key_of(id, kb);
      lm_check(mdb_txn_renew(L.rtxn), "renew");
      MDB_val k{20, kb}, v;
      lm_check(mdb_get(L.rtxn, L.main, &k, &v), "get");
      std::memcpy(out + 20, v.mv_data, v.mv_size);
      benchmark::DoNotOptimize(out);
      mdb_txn_reset(L.rtxn);
    }
  });
}
void BM_Lmdb_Scan(benchmark::State& st) {
  timed(st, "lmdb", "ordered scan", count(), [] {
    uint8_t out[kRec];
    lm_check(mdb_txn_renew(L.rtxn), "renew");
    MDB_cursor* c;
    lm_check(mdb_cursor_open(L.rtxn, L.main, &c), "cursor");
    MDB_val k, v;
    size_t n = 0;
    for (int rc = mdb_cursor_get(c, &k, &v, MDB_FIRST); rc == 0; rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
      std::memcpy(out, k.mv_data, 20);
      std::memcpy(out + 20, v.mv_data, v.mv_size);
      benchmark::DoNotOptimize(out);
      ++n;
    }
    mdb_cursor_close(c);
    mdb_txn_reset(L.rtxn);
    if (n != count()) lm_check(EINVAL, "scan");
  });
}
void BM_Lmdb_Rewrite(benchmark::State& st) {
  timed(st, "lmdb", "rewrite", count(), [] {
    uint8_t r[kRec];
    for (uint32_t id : data().change_order) {
      make_rec(id, 1, r);
      MDB_txn* t;
      lm_check(mdb_txn_begin(L.env, nullptr, 0, &t), "txn");
      MDB_val k{20, r}, old, v{kRec - 20, r + 20};
      lm_check(mdb_get(t, L.main, &k, &old), "get");
      lm_check(mdb_put(t, L.main, &k, &v, 0), "put");
      lm_check(mdb_txn_commit(t), "commit");
    }
  });
}
void BM_Lmdb_Delete(benchmark::State& st) {
  timed(st, "lmdb", "delete", count(), [] {
    uint8_t kb[20];
    for (uint32_t id : data().read_order) {
      key_of(id, kb);
      MDB_txn* t;
      lm_check(mdb_txn_begin(L.env, nullptr, 0, &t), "txn");
      MDB_val k{20, kb}, v;
      lm_check(mdb_get(t, L.main, &k, &v), "get");
      uint32_t g;
      std::memcpy(&g, v.mv_data, 4);
      MDB_val gk{4, &g}, gv{20, kb};
      lm_check(mdb_del(t, L.byg, &gk, &gv), "del");
      lm_check(mdb_del(t, L.main, &k, nullptr), "del");
      lm_check(mdb_txn_commit(t), "commit");
    }
  });
  mdb_txn_abort(L.rtxn);
  mdb_env_close(L.env);
}

#define ONCE(fn) BENCHMARK(fn)->Iterations(1)->Unit(benchmark::kMillisecond)
ONCE(BM_Native_Insert);
ONCE(BM_Native_Read);
ONCE(BM_Native_Scan);
ONCE(BM_Native_Rewrite);
ONCE(BM_Native_Delete);
ONCE(BM_Sqlite_Insert);
ONCE(BM_Sqlite_Read);
ONCE(BM_Sqlite_Scan);
ONCE(BM_Sqlite_Rewrite);
ONCE(BM_Sqlite_Delete);
ONCE(BM_Lmdb_Insert);
ONCE(BM_Lmdb_Read);
ONCE(BM_Lmdb_Scan);
ONCE(BM_Lmdb_Rewrite);
ONCE(BM_Lmdb_Delete);

}  // namespace

int main(int argc, char** argv) {
  bi_init_com();
  const char* tmp = std::getenv("TMPDIR");
  g_dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quvo-bench-brf-" + std::to_string(getpid());
  std::filesystem::create_directories(g_dir);
  benchmark::Initialize(&argc, argv);
  data();
  benchmark::RunSpecifiedBenchmarks();
  std::filesystem::remove_all(g_dir);
  if (g_rates.empty()) return 0;
  std::printf("\n%zu records of %d bytes; operations per second, and native / other\n", count(), kRec);
  std::printf("%-14s %12s %12s %12s %10s %10s\n", "operation", "native", "sqlite", "lmdb", "x sqlite", "x lmdb");
  for (const char* op : {"insert", "keyed read", "ordered scan", "rewrite", "delete"}) {
    auto& r = g_rates[op];
    auto get = [&](const char* e) { return r.count(e) ? r[e] : 0.0; };
    double n = get("native"), s = get("sqlite"), l = get("lmdb");
    std::printf("%-14s %12.0f %12.0f %12.0f %10.2f %10.2f\n", op, n, s, l, s > 0 ? n / s : 0, l > 0 ? n / l : 0);
  }
  return 0;
}
