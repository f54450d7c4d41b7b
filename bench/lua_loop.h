// Bench helper: the Lua 5.4 anchors. A chunk returning a function of the loop
// count is loaded once and called with `loops` each iteration; the counter
// `counter` gives the rate of loops times `per_loop`.
#pragma once

#include <benchmark/benchmark.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

inline void lua_loop(benchmark::State& state, const char* src, int loops, const char* counter = "iter",
                     double per_loop = 1) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  if (luaL_dostring(L, src) != 0) {
    state.SkipWithError(lua_tostring(L, -1));
    lua_close(L);
    return;
  }
  int fn = luaL_ref(L, LUA_REGISTRYINDEX);
  for (auto _ : state) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, fn);
    lua_pushinteger(L, loops);
    lua_call(L, 1, 1);
    lua_pop(L, 1);
  }
  state.counters[counter] =
      benchmark::Counter(double(state.iterations()) * loops * per_loop, benchmark::Counter::kIsRate);
  lua_close(L);
}

// The integer and floating-point CALC loops (a running sum kept below a
// million), the anchors of the CALC loop benchmarks.
inline constexpr const char* kLuaIntLoop =
    "return function(n)\n"
    "  local a, b = 0, 0\n"
    "  for i = 1, n do\n"
    "    a = a + i * 3\n"
    "    if a > 1000000 then a = a - 1000000 end\n"
    "    b = a\n"
    "  end\n"
    "  return b\n"
    "end\n";
inline constexpr const char* kLuaFloatLoop =
    "return function(n)\n"
    "  local a, b = 0.0, 0.0\n"
    "  for i = 1.0, n do\n"
    "    a = a + i * 3.0\n"
    "    if a > 1000000.0 then a = a - 1000000.0 end\n"
    "    b = a\n"
    "  end\n"
    "  return b\n"
    "end\n";
