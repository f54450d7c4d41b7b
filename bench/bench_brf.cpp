// Native record files against LMDB and SQLite, in one run on one machine:
// the same records (200 bytes: a unique 20-byte key, a 4-byte duplicate key,
// payload) inserted in random key order, read by random key, scanned in key
// order, read in ranges of 100 records from random keys, scanned again after
// a reorganisation, rewritten and deleted at random.
//
// Every operation is its own committed change, as in the engine (a write is
// acknowledged when it returns): the native files through the record
// interface (fm_write, fm_read, fm_rdnxt, a read with hold then fm_rewrite /
// fm_del); LMDB with a main database by key and a duplicate-sorted database
// for the second key, one transaction per change and a read transaction per
// read; SQLite with one table (rowid, a unique index on the key, an index on
// the duplicate key), prepared statements, WAL, synchronous off, and a page
// cache and memory map big enough for the whole database.
//
// Engines (QUVO_BENCH_BRF_ENGINES, a comma-separated list of these names;
// by default all of them):
//   native        the native files as users run them (changes survive a
//                 killed process, not a power loss)
//   lmdb_wm       LMDB with the same durability: MDB_WRITEMAP|MDB_NOSYNC|
//                 MDB_NOMETASYNC (changes in a shared map, no flush); the
//                 native files are measured against this one
//   lmdb          LMDB with MDB_NOSYNC|MDB_NOMETASYNC (writes by pwrite)
//   sqlite        as above
//   native_sync   the native files in power-safe mode (QUVO_FILE_SYNC=1)
//   lmdb_sync     LMDB with its default syncs, the same durability
//
// Each pass of an engine runs in a child process on a fresh file: insert,
// keyed read, ordered scan, ranges, ordered scan after a reorganisation,
// rewrite, delete, each timed (ranges: records a second, the seeks
// included). The reorganisation itself is not timed: the native
// files write their records anew in key order (brf_reorganise, the file
// closed), and its rate is reported beside; the other engines keep their
// records in key order already and scan again. The summary takes
// the median rate of the passes and the largest resident set of a pass.
// The passes of the engines interleave, so that the load of a shared
// machine falls on all alike. Benchmark brf/N runs the engines at N
// records, brf_sync/N the two power-safe ones.
//
// Settings: QUVO_BENCH_BRF_N, a comma-separated list of record counts
// (default 100000,1000000); QUVO_BENCH_BRF_BIG=1 adds 10,000,000;
// QUVO_BENCH_BRF_SYNC_N the count of the two power-safe engines (default
// 500: each change is several disk flushes); QUVO_BENCH_BRF_PASSES (default
// 3); QUVO_BENCH_BRF_OPS, how many of the operations to run from the first
// (default all; 2 runs insert and keyed read only); TMPDIR the directory;
// QUVO_BENCH_BRF_TRACE=1 writes a line to standard error as each operation
// of a pass begins (engine, operation, the pass's process id), for tools
// that watch one operation of a long run.
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
constexpr int kOps = 7;
const char* const kOpName[kOps] = {"insert",       "keyed read", "ordered scan", "ranges of 100",
                                   "scan, reorg.", "rewrite",    "delete"};
constexpr int kReorgScan = 4;
constexpr size_t kRange = 100;  // records a range reads at most

long env_long(const char* name, long dflt) {
  const char* v = std::getenv(name);
  long x = v ? std::atol(v) : 0;
  return x > 0 ? x : dflt;
}

std::vector<size_t> sizes() {
  std::vector<size_t> out;
  const char* v = std::getenv("QUVO_BENCH_BRF_N");
  if (v && *v) {
    for (const char* p = v; *p;) {
      long x = std::strtol(p, const_cast<char**>(&p), 10);
      if (x > 0) out.push_back(size_t(x));
      while (*p && (*p < '0' || *p > '9')) ++p;
    }
  }
  if (out.empty()) out = {100000, 1000000};
  if (env_long("QUVO_BENCH_BRF_BIG", 0) == 1) out.push_back(10000000);
  return out;
}

std::string g_dir;
size_t g_n = 0;  // the record count of the running pass

struct Data {
  std::vector<uint32_t> insert_order, read_order, change_order;
  explicit Data(size_t n) {
    insert_order.resize(n);
    std::iota(insert_order.begin(), insert_order.end(), 0u);
    read_order = change_order = insert_order;
    std::mt19937 rng(42);
    std::shuffle(insert_order.begin(), insert_order.end(), rng);
    std::shuffle(read_order.begin(), read_order.end(), rng);
    std::shuffle(change_order.begin(), change_order.end(), rng);
  }
};
const Data* g_data = nullptr;
const Data& data() { return *g_data; }
size_t count() { return g_n; }

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

// One engine: open a fresh store, the five operations, close and remove.
struct Engine {
  const char* name;
  bool sync;  // power-safe: measured at QUVO_BENCH_BRF_SYNC_N records
  void (*open)();
  void (*op[kOps])();
  void (*close)();
  void (*reorganise)();  // before the scan after a reorganisation, untimed (null: nothing)
};

// ------------------------------------------------------------ native --
struct Native {
  MmPool pool = 0;
  FmArb* a = nullptr;
  uint8_t* buf = nullptr;
  uint8_t* key = nullptr;
  FmFdb fdb;
  double reorg_rate = 0;  // records a second
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
  N.fdb = f;
  N.buf = static_cast<uint8_t*>(MM_ALLOC(N.pool, kRec));
  N.key = static_cast<uint8_t*>(MM_ALLOC(N.pool, 20));
}
void native_sync_open() {
  setenv("QUVO_FILE_SYNC", "1", 1);
  native_open();
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

void native_insert() {
  for (uint32_t id : data().insert_order) {
    make_rec(id, 0, N.buf);
    N.a->rec.set(N.buf);
    N.a->rec_len = 0;
    N.a->op = 0;
    if (!fm_write(N.a)) die("write", N.a->status);
  }
}
void native_get() {
  for (uint32_t id : data().read_order)
    if (!native_read(id, 0)) die("read", N.a->status);
}
void native_scan() {
  FmArb* a = N.a;
  a->key_no = 0;
  a->op = FM_OP_FIRST;
  fm_start(a);
  a->op = 0;
  size_t n = 0;
  while (fm_rdnxt(a)) ++n;
  if (n != count()) die("scan", a->status);
}
// Ranges from the keys of the read order until count() records were read.
void native_ranges() {
  FmArb* a = N.a;
  size_t got = 0;
  for (size_t j = 0; got < count(); ++j) {
    key_of(data().read_order[j % count()], N.key);
    a->rec.set(N.buf);
    a->rec_len = 0;
    a->key_no = 0;
    a->key.set(N.key);
    a->key_len = 20;
    a->op = FM_OP_AT | FM_OP_KEY;
    if (!fm_start(a)) die("start", a->status);
    a->op = 0;
    for (size_t k = 0; k < kRange && got < count() && fm_rdnxt(a); ++k) ++got;
  }
}
void native_rewrite() {
  for (uint32_t id : data().change_order) {
    if (!native_read(id, FM_OP_HOLD)) die("read for rewrite", N.a->status);
    make_rec(id, 1, N.buf);
    N.a->op = 0;
    if (!fm_rewrite(N.a)) die("rewrite", N.a->status);
  }
}
void native_delete() {
  for (uint32_t id : data().read_order) {
    if (!native_read(id, FM_OP_HOLD)) die("read for delete", N.a->status);
    if (!fm_del(N.a)) die("delete", N.a->status);
  }
}
void native_close() { FM_CLOSE(N.a, FM_CL_SCRATCH); }
// The file closed, reorganised and opened again.
void native_reorganise() {
  std::string path;
  if (!fm_os_path(&N.fdb, &path)) die("path", 0);
  FM_CLOSE(N.a, 0);
  auto t0 = std::chrono::steady_clock::now();
  BrfReorganised r;
  if (brf_reorganise(path, &r) || r.records != count()) die("reorganise", 0);
  N.reorg_rate = double(count()) / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  FmFdb f = N.fdb;
  if (!FM_OPEN(&f, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) die("open", f.status);
  N.a = f.handle.get();
  N.a->rec.set(N.buf);
  N.a->rec_len = 0;
}

// ------------------------------------------------------------ SQLite --
struct Sql {
  sqlite3* db = nullptr;
  sqlite3_stmt *ins = nullptr, *get = nullptr, *scan = nullptr, *range = nullptr, *upd = nullptr, *del = nullptr;
} S;

void sql_check(int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(S.db));
    std::exit(1);
  }
}

void sql_open() {
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
  sql_check(sqlite3_prepare_v2(S.db, "SELECT k,g,v FROM t WHERE k>=? ORDER BY k LIMIT 100", -1, &S.range, nullptr),
            "prepare");
  sql_check(sqlite3_prepare_v2(S.db, "UPDATE t SET v=? WHERE k=?", -1, &S.upd, nullptr), "prepare");
  sql_check(sqlite3_prepare_v2(S.db, "DELETE FROM t WHERE k=?", -1, &S.del, nullptr), "prepare");
}
void sql_insert() {
  uint8_t r[kRec];
  for (uint32_t id : data().insert_order) {
    make_rec(id, 0, r);
    sqlite3_bind_blob(S.ins, 1, r, 20, SQLITE_STATIC);
    sqlite3_bind_int(S.ins, 2, int(group_of(id)));
    sqlite3_bind_blob(S.ins, 3, r + 24, kRec - 24, SQLITE_STATIC);
    sql_check(sqlite3_step(S.ins), "insert");
    sqlite3_reset(S.ins);
  }
}
void sql_get() {
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
}
// A row of a scan as the record it holds: key, group, rest.
void sql_row(sqlite3_stmt* st, uint8_t* out) {
  std::memcpy(out, sqlite3_column_blob(st, 0), 20);
  uint32_t g = uint32_t(sqlite3_column_int(st, 1));
  std::memcpy(out + 20, &g, 4);
  std::memcpy(out + 24, sqlite3_column_blob(st, 2), size_t(sqlite3_column_bytes(st, 2)));
  benchmark::DoNotOptimize(out);
}
void sql_scan() {
  uint8_t out[kRec];
  size_t n = 0;
  while (sqlite3_step(S.scan) == SQLITE_ROW) {
    sql_row(S.scan, out);
    ++n;
  }
  sqlite3_reset(S.scan);
  if (n != count()) sql_check(SQLITE_ERROR, "scan");
}
void sql_ranges() {
  uint8_t k[20], out[kRec];
  size_t got = 0;
  for (size_t j = 0; got < count(); ++j) {
    key_of(data().read_order[j % count()], k);
    sqlite3_bind_blob(S.range, 1, k, 20, SQLITE_STATIC);
    while (got < count() && sqlite3_step(S.range) == SQLITE_ROW) {
      sql_row(S.range, out);
      ++got;
    }
    sqlite3_reset(S.range);
  }
}
void sql_rewrite() {
  uint8_t r[kRec];
  for (uint32_t id : data().change_order) {
    make_rec(id, 1, r);
    sqlite3_bind_blob(S.upd, 1, r + 24, kRec - 24, SQLITE_STATIC);
    sqlite3_bind_blob(S.upd, 2, r, 20, SQLITE_STATIC);
    sql_check(sqlite3_step(S.upd), "update");
    sqlite3_reset(S.upd);
  }
}
void sql_delete() {
  uint8_t k[20];
  for (uint32_t id : data().read_order) {
    key_of(id, k);
    sqlite3_bind_blob(S.del, 1, k, 20, SQLITE_STATIC);
    sql_check(sqlite3_step(S.del), "delete");
    sqlite3_reset(S.del);
  }
}
void sql_close() {
  for (sqlite3_stmt* s : {S.ins, S.get, S.scan, S.range, S.upd, S.del}) sqlite3_finalize(s);
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

void lm_open_with(unsigned flags) {
  std::string dir = g_dir + "/lmdb";
  std::filesystem::create_directories(dir);
  lm_check(mdb_env_create(&L.env), "env");
  mdb_env_set_mapsize(L.env, size_t(32) << 30);
  mdb_env_set_maxdbs(L.env, 4);
  lm_check(mdb_env_open(L.env, dir.c_str(), flags, 0644), "open");
  MDB_txn* t;
  lm_check(mdb_txn_begin(L.env, nullptr, 0, &t), "txn");
  lm_check(mdb_dbi_open(t, "main", MDB_CREATE, &L.main), "dbi");
  lm_check(mdb_dbi_open(t, "byg", MDB_CREATE | MDB_DUPSORT, &L.byg), "dbi");
  lm_check(mdb_txn_commit(t), "commit");
  lm_check(mdb_txn_begin(L.env, nullptr, MDB_RDONLY, &L.rtxn), "rtxn");
  mdb_txn_reset(L.rtxn);
}
void lm_open() { lm_open_with(MDB_NOSYNC | MDB_NOMETASYNC); }
void lm_wm_open() { lm_open_with(MDB_WRITEMAP | MDB_NOSYNC | MDB_NOMETASYNC); }
void lm_sync_open() { lm_open_with(0); }

void lm_insert() {
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
}
void lm_get() {
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
}
void lm_scan() {
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
}
void lm_ranges() {
  uint8_t kb[20], out[kRec];
  size_t got = 0;
  for (size_t j = 0; got < count(); ++j) {
    key_of(data().read_order[j % count()], kb);
    lm_check(mdb_txn_renew(L.rtxn), "renew");
    MDB_cursor* c;
    lm_check(mdb_cursor_open(L.rtxn, L.main, &c), "cursor");
    MDB_val k{20, kb}, v;
    size_t in = 0;
    for (int rc = mdb_cursor_get(c, &k, &v, MDB_SET_RANGE); rc == 0 && in < kRange && got < count();
         rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
      std::memcpy(out, k.mv_data, 20);
      std::memcpy(out + 20, v.mv_data, v.mv_size);
      benchmark::DoNotOptimize(out);
      ++in, ++got;
    }
    mdb_cursor_close(c);
    mdb_txn_reset(L.rtxn);
  }
}
void lm_rewrite() {
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
}
void lm_delete() {
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
}
void lm_close() {
  mdb_txn_abort(L.rtxn);
  mdb_env_close(L.env);
}

#define OPS(p) {p##_insert, p##_get, p##_scan, p##_ranges, p##_scan, p##_rewrite, p##_delete}
const Engine kEngines[] = {
    {"native", false, native_open, OPS(native), native_close, native_reorganise},
    {"lmdb_wm", false, lm_wm_open, OPS(lm), lm_close, nullptr},
    {"lmdb", false, lm_open, OPS(lm), lm_close, nullptr},
    {"sqlite", false, sql_open, OPS(sql), sql_close, nullptr},
    {"native_sync", true, native_sync_open, OPS(native), native_close, native_reorganise},
    {"lmdb_sync", true, lm_sync_open, OPS(lm), lm_close, nullptr},
};
#undef OPS

// ------------------------------------------------------------ passes --
struct Result {
  double rate[kOps] = {};  // medians, operations per second
  double reorg = 0;        // median rate of the reorganisation (records a second), 0: none
  long max_rss_kb = 0;
};
std::map<size_t, std::map<std::string, Result>> g_results;

// Runs one pass of engine `e` at `n` records in a child process; the rates
// come back through a pipe, the child's largest resident set from wait4.
bool run_pass(const Engine& e, size_t n, double rate[kOps + 1], long* rss_kb) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fds[0]);
    g_n = n;
    Data d(n);
    g_data = &d;
    g_dir += "/" + std::string(e.name);
    std::filesystem::create_directories(g_dir);
    double r[kOps + 1] = {};
    e.open();
    int ops = int(std::min<long>(env_long("QUVO_BENCH_BRF_OPS", kOps), kOps));
    for (int i = 0; i < ops; ++i) {
      if (i == kReorgScan && e.reorganise) {
        e.reorganise();
        r[kOps] = N.reorg_rate;
      }
      if (env_long("QUVO_BENCH_BRF_TRACE", 0) == 1)
        std::fprintf(stderr, "brf: %s %s begins, pid %d\n", e.name, kOpName[i], int(getpid()));
      auto t0 = std::chrono::steady_clock::now();
      e.op[i]();
      double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      r[i] = double(n) / s;
    }
    e.close();
    std::filesystem::remove_all(g_dir);
    bool ok = write(fds[1], r, sizeof r) == ssize_t(sizeof r);
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  ssize_t got = read(fds[0], rate, sizeof(double) * (kOps + 1));
  close(fds[0]);
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  *rss_kb = ru.ru_maxrss;
  return got == ssize_t(sizeof(double) * (kOps + 1)) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The engines chosen by QUVO_BENCH_BRF_ENGINES (a comma-separated list of
// names; default all).
bool chosen(const Engine& e) {
  const char* v = std::getenv("QUVO_BENCH_BRF_ENGINES");
  if (!v || !*v) return true;
  std::string list = v;
  std::string name = e.name;
  for (size_t at = 0; at <= list.size();) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    if (list.compare(at, comma - at, name) == 0) return true;
    at = comma + 1;
  }
  return false;
}

// The passes of several engines interleave (pass 1 of each, then pass 2...)
// so that a change of the machine's load falls on all of them alike.
void BM_Engines(benchmark::State& st, bool sync, size_t n) {
  int passes = int(env_long("QUVO_BENCH_BRF_PASSES", 3));
  std::vector<const Engine*> es;
  for (const Engine& e : kEngines)
    if (e.sync == sync && chosen(e)) es.push_back(&e);
  std::map<const Engine*, std::vector<double>[kOps + 1]> rates;
  std::map<const Engine*, long> rss;
  for (auto _ : st) {
    for (int p = 0; p < passes; ++p) {
      for (const Engine* e : es) {
        double r[kOps + 1];
        long kb = 0;
        if (!run_pass(*e, n, r, &kb)) {
          st.SkipWithError((std::string("a pass of ") + e->name + " failed").c_str());
          return;
        }
        for (int i = 0; i <= kOps; ++i) rates[e][i].push_back(r[i]);
        rss[e] = std::max(rss[e], kb);
      }
    }
  }
  for (const Engine* e : es) {
    Result res;
    for (int i = 0; i < kOps; ++i) {
      auto& v = rates[e][i];
      std::sort(v.begin(), v.end());
      res.rate[i] = v[v.size() / 2];
      st.counters[std::string(e->name) + " " + kOpName[i]] = res.rate[i];
    }
    auto& g = rates[e][kOps];
    std::sort(g.begin(), g.end());
    res.reorg = g[g.size() / 2];
    if (res.reorg > 0) st.counters[std::string(e->name) + " reorganise"] = res.reorg;
    res.max_rss_kb = rss[e];
    st.counters[std::string(e->name) + " max_rss_mb"] = double(res.max_rss_kb) / 1024.0;
    g_results[n][e->name] = res;
  }
}

// One table of the engines in names present at n records, with the first
// one's ratio to each of the bases present (the LMDB configurations).
void print_table(size_t n, const std::vector<std::string>& names, const std::vector<std::string>& bases) {
  auto& at = g_results[n];
  std::vector<std::string> have, base;
  for (auto& nm : names)
    if (at.count(nm)) have.push_back(nm);
  if (have.empty()) return;
  for (auto& b : bases)
    if (at.count(b) && b != have[0]) base.push_back(b);
  std::printf("\n%zu records of %d bytes: operations per second (medians)", n, kRec);
  if (!base.empty()) std::printf(", and %s / each LMDB", have[0].c_str());
  std::printf("\n%-14s", "operation");
  for (auto& nm : have) std::printf(" %12s", nm.c_str());
  for (auto& b : base) std::printf(" %12s", ("/ " + b).c_str());
  std::printf("\n");
  for (int i = 0; i < kOps; ++i) {
    std::printf("%-14s", kOpName[i]);
    for (auto& nm : have) std::printf(" %12.0f", at[nm].rate[i]);
    for (auto& b : base) std::printf(" %12.2f", at[b].rate[i] > 0 ? at[have[0]].rate[i] / at[b].rate[i] : 0.0);
    std::printf("\n");
  }
  if (at[have[0]].reorg > 0)
    std::printf("(%s: the reorganisation before the second scan, %.0f records a second)\n", have[0].c_str(),
                at[have[0]].reorg);
  std::printf("%-14s", "max RSS (MB)");
  for (auto& nm : have) std::printf(" %12.0f", double(at[nm].max_rss_kb) / 1024.0);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  bi_init_com();
  const char* tmp = std::getenv("TMPDIR");
  g_dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quvo-bench-brf-" + std::to_string(getpid());
  std::filesystem::create_directories(g_dir);
  size_t sync_n = size_t(env_long("QUVO_BENCH_BRF_SYNC_N", 500));
  for (size_t n : sizes())
    benchmark::RegisterBenchmark(("brf/" + std::to_string(n)).c_str(), BM_Engines, false, n)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
  benchmark::RegisterBenchmark(("brf_sync/" + std::to_string(sync_n)).c_str(), BM_Engines, true, sync_n)
      ->Iterations(1)
      ->Unit(benchmark::kSecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::filesystem::remove_all(g_dir);
  for (auto& [n, at] : g_results) {
    (void)at;
    print_table(n, {"native", "lmdb_wm", "lmdb", "sqlite"}, {"lmdb_wm", "lmdb"});
    print_table(n, {"native_sync", "lmdb_sync"}, {"lmdb_sync"});
  }
  return 0;
}
