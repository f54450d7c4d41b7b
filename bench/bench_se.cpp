// Statement text: lines read into records (alone, and with the dictionary
// checks) and records made into lines, over the test corpus repeated to
// about 1 MB, against Lua 5.4 compiling a chunk of the same size. BM_SeReadFile
// is the reader users run (se_read_file: a statement file's text to its
// records, with the process and block headers), per byte of the file
// against BM_LuaLoadBuffer.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "design/se.h"
#include "design/sefile.h"
#include "design/se_valid.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

namespace {

constexpr size_t kTarget = 1 << 20;

// The corpus lines, as a statement file holds them (trailing blanks off),
// repeated to about 1 MB.
const std::vector<std::string>& lines() {
  static std::vector<std::string> out = [] {
    std::vector<std::string> base, all;
    std::ifstream in(std::string(QUVO_TEST_DIR) + "/design/data/corpus.txt", std::ios::binary);
    std::string l;
    while (std::getline(in, l))
      if (!l.empty() && l[0] != '#') base.push_back(l);
    size_t bytes = 0;
    while (bytes < kTarget && !base.empty())
      for (const std::string& b : base) {
        all.push_back(b);
        bytes += b.size() + 1;
      }
    return all;
  }();
  return out;
}

size_t corpus_bytes() {
  size_t n = 0;
  for (const std::string& l : lines()) n += l.size() + 1;
  return n;
}

void setup() {
  static bool done = [] {
    bi_init_com();
    se_load_spellings(true);
    return true;
  }();
  (void)done;
}

void BM_SeParse(benchmark::State& state) {
  setup();
  const auto& ls = lines();
  DStmt s;
  std::memset(&s, 0, sizeof s);
  for (auto _ : state) {
    for (const std::string& l : ls) {
      SeLineState st;
      st.text = l.data();
      st.len = int(l.size());
      int col = 0, second = 0;
      int ok = se_degen_stmt(st, s, &col, &second);
      benchmark::DoNotOptimize(ok);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(corpus_bytes()));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(ls.size()));
}
BENCHMARK(BM_SeParse)->Unit(benchmark::kMillisecond);

void BM_SeGen(benchmark::State& state) {
  setup();
  const auto& ls = lines();
  std::vector<DStmt> recs(ls.size());
  for (size_t i = 0; i < ls.size(); ++i) {
    std::memset(&recs[i], 0, sizeof(DStmt));
    SeLineState st;
    st.text = ls[i].data();
    st.len = int(ls[i].size());
    int col = 0;
    (void)se_degen_stmt(st, recs[i], &col, nullptr);
  }
  char line[kSeLineLen];
  for (auto _ : state) {
    for (DStmt& r : recs) {
      SeGenCtx ctx;
      ctx.line = line;
      se_gen_stmt(ctx, r, 0, 0);
      benchmark::DoNotOptimize(line[0]);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(corpus_bytes()));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(ls.size()));
}
BENCHMARK(BM_SeGen)->Unit(benchmark::kMillisecond);

// The corpus's names in memory-resident dictionaries of "ABC" and "0LA".
void make_dict() {
  static bool done = false;
  if (done) return;
  done = true;
  fms_init();
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  uint32_t serial = 0;
  auto open = [&](int which, const char* app) {
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
    FmFdb fdb;
    const char* ver = app[0] == '0' ? "00" : "01";
    if (which == 0) INIT_DELEM_FDB(&fdb, kdb, sdb, app, ver);
    else if (which == 1) INIT_DFI_FDB(&fdb, kdb, sdb, app, ver);
    else INIT_DPROC_FDB(&fdb, kdb, sdb, app, ver);
    fdb.fclass = FM_CLASS_MEMORY;
    if (!FM_CREATE(&fdb, com.depth, 0, FM_OPT_NO_SYSDIR, 3, 15)) std::abort();
    return fdb.handle.get();
  };
  auto write = [&](FmArb* a, void* rec) {
    a->rec.set(static_cast<uint8_t*>(rec));
    a->rec_len = 0;
    if (!fm_write(a)) std::abort();
  };
  FmArb* abc = open(0, "ABC");
  FmArb* la = open(0, "0LA");
  auto elem = [&](FmArb* a, const char* name, int type, int len) {
    auto* e = static_cast<DElem*>(MM_ALLOC(pool, sizeof(DElem)));
    std::memset(static_cast<void*>(e), ' ', sizeof *e);
    e->name.set(name);
    e->type = uint8_t(type);
    e->length = uint16_t(len);
    e->occurs = 999;
    e->key_kind = 0;
    e->token_mark = 0;
    e->digits = 9;
    e->decimals = 0;
    e->sign = '1';
    rec::view<rec::U32>(e->ident_stamp.data()) = ++serial;
    write(a, e);
  };
  elem(abc, "CUSTOMER NAME", 1, 30);
  elem(abc, "ORDER TOTAL", 8, 8);
  elem(abc, "INVOICE DATE", 3, 4);
  elem(abc, "A234567890123456789012", 1, 22);
  elem(la, "OPTION", 5, 2);
  FmArb* fi = open(1, "ABC");
  for (const char* name : {"CUSTOMER", "ORDERS", "INV2024"}) {
    auto* f = static_cast<DFile*>(MM_ALLOC(pool, sizeof(DFile)));
    std::memset(static_cast<void*>(f), ' ', sizeof *f);
    f->name.set(name);
    f->org = FM_ORG_PLAIN;
    f->area = ++serial;
    f->area2 = ++serial;
    write(fi, f);
  }
  FmArb* pr = open(2, "ABC");
  for (const char* name : {"ORDER ENTRY", "PRINT INVOICES"}) {
    auto* p = static_cast<DProc*>(MM_ALLOC(pool, sizeof(DProc)));
    std::memset(static_cast<void*>(p), ' ', sizeof *p);
    p->proc_type = 6;
    p->proc_name.set(name);
    write(pr, p);
  }
}

// Reading with the dictionary checks (memory-resident dictionaries).
void BM_SeParseChecked(benchmark::State& state) {
  setup();
  make_dict();
  const auto& ls = lines();
  DStmt s;
  std::memset(&s, 0, sizeof s);
  SeDict dict("ABC", "01", true);
  SeDictValidator val(dict);
  int64_t accepted = 0;
  for (auto _ : state) {
    for (const std::string& l : ls) {
      SeLineState st;
      st.text = l.data();
      st.len = int(l.size());
      st.validator = &val;
      int col = 0, second = 0;
      accepted += se_degen_stmt(st, s, &col, &second);
    }
  }
  state.counters["accepted"] = double(accepted) / double(state.iterations()) / double(ls.size());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(corpus_bytes()));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(ls.size()));
}
BENCHMARK(BM_SeParseChecked)->Unit(benchmark::kMillisecond);

// The corpus as a statement file: one process, its lines in 11 event points.
const std::string& stmt_file() {
  static std::string text = [] {
    std::string t = "process 6 BENCH\n";
    const auto& ls = lines();
    for (size_t i = 0; i < ls.size(); ++i) {
      if (i % (ls.size() / 11 + 1) == 0) t += "statements " + std::to_string(1 + i / (ls.size() / 11 + 1)) + "\n";
      t += ls[i] + "\n";
    }
    return t;
  }();
  return text;
}

void BM_SeReadFile(benchmark::State& state) {
  setup();
  const std::string& text = stmt_file();
  size_t records = 0, errors = 0;
  for (auto _ : state) {
    SeFileResult r;
    errors = size_t(se_read_file("bench.stmt", text, nullptr, &r));
    records = r.stmts.size();
    benchmark::DoNotOptimize(r.stmts.data());
  }
  state.counters["records"] = double(records);
  state.counters["refused"] = double(errors);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_SeReadFile)->Unit(benchmark::kMillisecond);

// A Lua chunk of the corpus's size: statements of the same sort (tests,
// assignments, calls, loops, comments) over varied names.
const std::string& lua_chunk() {
  static std::string src = [] {
    static const char* const forms[] = {
        "if customer_amount%d == 100 then order_total%d = order_total%d + 1 end\n",
        "local_name%d = \"Customer totals are kept per region %d\"\n",
        "-- check the balance of account %d\n",
        "for i%d = 1, 10, 1 do invoice_count%d = invoice_count%d + i%d end\n",
        "print_invoices(application%d, \"ORDER ENTRY\", %d, true)\n",
        "if a%d > b%d and c%d ~= \"CUSTOMER\" then x%d = y%d * (z%d - 1) end\n",
    };
    std::string s = "local function body()\n";
    char buf[256];
    int i = 0;
    while (s.size() < corpus_bytes() - 64) {
      int n = i;
      std::snprintf(buf, sizeof buf, forms[i % 6], n % 97, n % 89, n % 89, n % 83, n % 79, n % 73);
      s += buf;
      ++i;
    }
    s += "end\nreturn body\n";
    return s;
  }();
  return src;
}

void BM_LuaLoadBuffer(benchmark::State& state) {
  const std::string& src = lua_chunk();
  lua_State* L = luaL_newstate();
  for (auto _ : state) {
    int rc = luaL_loadbuffer(L, src.data(), src.size(), "chunk");
    if (rc != LUA_OK) state.SkipWithError(lua_tostring(L, -1));
    lua_settop(L, 0);
  }
  lua_close(L);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src.size()));
}
BENCHMARK(BM_LuaLoadBuffer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
