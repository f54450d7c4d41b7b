// Statement text: lines read into records (alone, and with the dictionary
// checks) and records made into lines, over the test corpus repeated to
// about 1 MB, against Lua 5.4 compiling a chunk of the same size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "design/se.h"
#include "design/se_valid.h"
#include "foundation/bi.h"

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
