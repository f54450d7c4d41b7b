// Statements compiled per second, counted in bytes of statement text, in
// the same run:
//   BM_ScCompile        pl_get compiling one Subroutine of about 25,000
//                       statements (every verb the compiler builds: comments,
//                       LABEL, GOTO forward and back, END, END PROC, EXIT,
//                       LOGOUT, runs of T/F columns of levels 1-3) with an
//                       empty cache and no saved file, spread over the 11
//                       process event points;
//   BM_LuaLoadBuffer    the anchor: Lua 5.4 compiling (luaL_loadbuffer) a
//                       chunk of the same byte size and a like shape: comments,
//                       labels and gotos, nested ifs, returns.
// bytes_per_second of the two is the ratio.
#include <benchmark/benchmark.h>

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include <random>
#include <string>

#include "design/se.h"
#include "design/sefile.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pc.h"
#include "process/pl_fixture.h"

using namespace pltest;

namespace {

std::string line(const char* tf, const char* verb, const std::string& ops = "") {
  char b[128];
  std::snprintf(b, sizeof b, "%-5.5s %-8.8s %s", tf, verb, ops.c_str());
  std::string s = b;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

struct Corpus {
  std::string text;      // the statement file
  size_t bytes = 0;      // bytes of statement lines (each with its newline)
  size_t stmts = 0;
  std::string lua;       // the Lua chunk
};

const Corpus& corpus() {
  static Corpus c = [] {
    Corpus c;
    std::mt19937 rng(5);
    const char* cols[] = {"", "T", "F", "TT", "TF", "FT", "FF", "TTT", "TFF", "FTF"};
    const char* luacond[] = {"", "a", "not a", "a and b", "a and not b", "not a and b", "not a and not b",
                             "a and b and c", "a and not b and not c", "not a and b and not c"};
    c.text = "process 6 BENCH\n";
    int label = 0;
    for (int ep = 1; ep <= 11; ++ep) {
      c.text += "statements " + std::to_string(ep) + "\n";
      c.lua += "function ep" + std::to_string(ep) + "(a, b, c)\n";
      for (int i = 0; i < 2000; ++i) {
        std::string l, lu;
        int what = int(rng() % 12);
        int col = int(rng() % 10);
        switch (what) {
          case 0: case 1:
            l = line("", "*", "keeps the customer totals per region and day");
            lu = "-- keeps the customer totals per region and day";
            break;
          case 2: {
            std::string n = "L" + std::to_string(label++);
            l = line("", "GOTO", n) + "\n" + line("", "LABEL", n);
            lu = "goto " + n + "\n::" + n + "::";
            break;
          }
          case 3: {
            std::string n = "B" + std::to_string(label++);
            l = line("", "LABEL", n) + "\n" + line("F", "GOTO", n);
            lu = "::" + n + "::\nif not a then goto " + n + " end";
            break;
          }
          case 4: l = line(cols[col], "END PROC"); lu = "return 2"; break;
          case 5: l = line(cols[col], "EXIT"); lu = "return 3"; break;
          case 6: l = line(cols[col], "LOGOUT", "SYSTEM? Y"); lu = "return 25"; break;
          case 7: l = line(cols[col], "LOGOUT", "SYSTEM? N"); lu = "return 24"; break;
          default: l = line(cols[col], "END"); lu = "return 1"; break;
        }
        if (col && what >= 4) lu = "if " + std::string(luacond[col]) + " then " + lu + " end";
        else if (what >= 4) lu = "do " + lu + " end";
        c.text += l + "\n";
        c.bytes += l.size() + 1;
        c.stmts += size_t(1 + (what == 2 || what == 3));
        c.lua += lu + "\n";
      }
      c.lua += "end\n";
    }
    // The same byte size: pad the chunk with comments (or stop there).
    while (c.lua.size() < c.bytes) c.lua += "-- a remark of the same kind as the statements carry\n";
    return c;
  }();
  return c;
}

struct World {
  Engine e;
  Pcb* pcb = nullptr;
  bool ok = false;
  World() {
    bi_init_com();
    ii_families_register();
    e.start();
    e.dictionary();
    e.user();
    pc_init();
    rt_init_cmpl_err();
    se_init();
    se_register();
    pc_set_stmt_compiler(sc_cmpl);
    em_set_compiler(pc_em_compiler);
    fx::write("CHILD", "ABC", "00", {});
    fx::write("SELECT", "ABC", "00", {});
    fx::write("FILE", "0LA", "00", {});
    fx::write("ELEMENT", "0LA", "00", {});   // as an installed runtime application has
    SeFileResult r;
    if (se_read_file("bench.stmt", corpus().text, nullptr, &r) != 0) return;
    std::vector<std::string> errs;
    se_store_dict("ABC", "00", nullptr, r.stmts, &errs);
    fx::write("PROCESS", "ABC", "00", {proc_rec("BENCH", 6, "0")});
    pcb = e.pcb("BENCH", 2, 6);
    ok = true;
  }
  ~World() { e.stop(); }
};

World& world() {
  static World w;
  return w;
}

void BM_ScCompile(benchmark::State& st) {
  World& w = world();
  if (!w.ok) {
    st.SkipWithError("corpus not read");
    return;
  }
  uint32_t before = pc_compile_count();
  for (auto _ : st) {
    pl_flush();
    if (!pl_get(w.pcb, 0)) {
      st.SkipWithError("compile failed");
      break;
    }
    pl_release(w.pcb);
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(corpus().bytes));
  st.counters["statements"] = double(corpus().stmts);
  st.counters["compiles"] = double(pc_compile_count() - before);
}
BENCHMARK(BM_ScCompile)->Unit(benchmark::kMillisecond);

void BM_LuaLoadBuffer(benchmark::State& st) {
  const std::string& src = corpus().lua;
  lua_State* L = luaL_newstate();
  for (auto _ : st) {
    int rc = luaL_loadbuffer(L, src.data(), src.size(), "chunk");
    if (rc != LUA_OK) {
      st.SkipWithError(lua_tostring(L, -1));
      break;
    }
    lua_settop(L, 0);
  }
  lua_close(L);
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(src.size()));
}
BENCHMARK(BM_LuaLoadBuffer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
