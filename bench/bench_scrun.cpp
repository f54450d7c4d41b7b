// Loops of statement text, compiled once by the statement compiler and run
// by the interpreter through the process runner, against the same loop in
// Lua 5.4 in the same run. Each body runs in
//   BEG LOOP I from 1 to J (packed; J = 100,000) ... END LOOP I
// and is one of the shapes people write:
//   BASE   CALC A = A + I * 3; IF A > 1000000 (T) CALC A = A - 1000000;
//          CALC B = A
//   DECI   BASE with A = A + I * 1.25 and (T) A = A - 1000000.5 (decimals)
//   DIVI   BASE with A = A + I * 3 / 4 (a division)
//   ODDL   BASE and IF L < 5 (T) CALC C = C + 1, L a 5-byte fixed packed
//          field
//   IFAND  BASE and IF A > 500000 AND B < 700000 (T) CALC C = C + 1
//   GOSUB  BASE and GOSUB S1 (S1: CALC C = C + 1, RETURN)
//   DATE   BASE and IF D > 20000101 (T) CALC C = C + 1, D a date field
//          (text, CCYYMMDD) set to today before the loop
//   RECORD what an event point does once per record: CALC Q = I * 2 + 1;
//          CALC P = Q; IF P > 100000 (T) CALC C = C + 1; CALC A = A + P - I;
//          CALC B = A
//   NEST   BASE in an inner loop of two iterations (BEG LOOP K 1 2): a
//          short loop begun and ended once an outer iteration; NEST12 the
//          same of twelve (a year's months)
// and, to see where BASE's time goes, its parts alone: LOOP (no body), SUM
// (CALC A = A + I * 3), MOVE (CALC B = A) and TEST (the IF, false throughout,
// and its (T)).
// The other statements event points are made of, a short body each (T4, T20,
// T80 texts; AI, BI 4-byte binaries; F5 a 5-byte fixed packed field of 2
// decimals, F4 one of 4 bytes and none; NO and XO 4-byte binaries and 8-byte
// texts of kOcc occurrences):
//   TXTIF  IF T20 = ABCDEF (T) CALC C = C + 1 (a text against a constant)
//   TXTFF  IF T80 = T20 (T) CALC C = C + 1 (texts of two lengths)
//   TXTSET SET T20 = XYZ; SET T80 = T20
//   SETPB  SET AI = I; SET B = AI (packed to binary and back)
//   SETPF  SET F5 = I; SET B = F5 (to fixed packed and back)
//   SETPT  SET T20 = I; SET B = T20 (to text and back)
//   SETBF  CALC AI = AI + 1; SET F5 = AI; SET BI = F5
//   SETFT  SET F5 = I; SET T20 = F5; SET F4 = T20
//   SETBT  SET AI = I; SET T20 = AI; SET BI = T20
//   OCCB   SET NO(I) = I; SET B = NO(I) (the loop variable as index)
//   OCCT   SET XO(I) = T20; IF XO(I) = T20 (T) CALC C = C + 1
//   APPEND SET T20 = AB; APPEND T20 1 blank T4 (T4 = CD)
//   DATEADD DATE ADD D 1 day (D from 2000-01-01)
//   SETDT  SET DATE D (today)
//   CNVT   CNV TEXT T20 = I; CNV TEXT B = T20
//   CNVB   CALC AI = I; CNV BIN T4 = AI; CNV BIN B = T4
//   CALCB  BASE on binaries: CALC BI = BI + 1; CALC AI = AI + BI * 3;
//          IF AI > 1000000 (T) CALC AI = AI - 1000000
//   CALCM  BASE with a binary counter: CALC AI = AI + 1;
//          CALC A = A + AI * 3 and BASE's IF and move
//   CMPT   COMPUTE A + I
//   CMPTB  COMPUTE AI + 3
//   CMPTF  COMPUTE F5 + 1
// (OCCB and OCCT run kOcc iterations, the others kLoops; TOTAL adds into a
// report's totals, which a process without a report does not have.) Where a
// body leaves neither B nor C, the statements after the loop move or count
// its result into them.
// BM_Sc/<body>/plans:1 runs it with the loop plans, plans:0 without (the
// plain path every loop that has no plan takes); each invocation checks B
// and C at the end (a wrong value ends the run with 24 instead of 2). The
// counter "iter" is loop iterations per second, "vc_miss" the value cache's
// misses an iteration; BM_Lua/<body> is the anchor:
// integers, floats for DECI and DIVI (a local function for GOSUB).
#include <benchmark/benchmark.h>

#include "lua_loop.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "design/se.h"
#include "design/sefile.h"
#include "foundation/os.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pc.h"
#include "process/piexec.h"
#include "process/pc_fixture.h"
#include "support/stmt_text.h"

using namespace pltest;

namespace {

constexpr int kLoops = 100000;
constexpr int kOcc = 10000;  // occurrences of NO and XO

using stmttext::calc;
using stmttext::line;
using stmttext::test;

struct Body {
  const char* name;
  std::string stmts;  // the loop body
  std::string tail;   // after the event point's END (GOSUB's routine)
  std::string b, c;   // B and C at the end
  std::string lua;
  std::string pre = "";   // before the loop
  std::string post = "";  // after it
  int n = kLoops;         // iterations
};

std::string fmt_hundredths(long long v) {
  char s[40];
  std::snprintf(s, sizeof s, "%lld.%02lld", v / 100, v % 100);
  return s;
}

std::string set(const char* t, const char* s, bool field = true, const char* occ = "", const char* occ2 = "") {
  return line("", "SET", {{0, "---"}, {4, t}, {27, occ}, {34, field ? "---" : ""}, {38, s}, {61, occ2}});
}
std::string op2(const char* verb, const char* t, const char* op, const char* s, bool field = true) {
  return line("", verb, {{0, "---"}, {4, t}, {31, op}, {34, field ? "---" : ""}, {38, s}});
}
std::string lua_fn(const char* locals, const char* body, const char* ret) {
  return std::string("return function(n)\n local ") + locals + "\n for i = 1, n do\n" + body + " end\n return " + ret +
         "\nend\n";
}

// The bodies of the other statements (see the head of the file).
void more_bodies(std::vector<Body>* v) {
  const std::string n = std::to_string(kLoops), occ = std::to_string(kOcc);
  const std::string c1 = calc("T", "C", "C + 1");
  auto add = [v](const char* name, std::string stmts, std::string b, std::string c, std::string lua, std::string pre = "",
                 std::string post = "", int loops = kLoops) {
    v->push_back({name, std::move(stmts), "", std::move(b), std::move(c), std::move(lua), std::move(pre), std::move(post),
                  loops});
  };
  const std::string abc = set("T20", "ABCDEF", false);
  add("TXTIF", test("", "IF", "T20", 1, "ABCDEF") + c1, "0", n,
      lua_fn("c, t = 0, 'ABCDEF'", "  if t == 'ABCDEF' then c = c + 1 end\n", "c"), abc);
  add("TXTFF", test("", "IF", "T80", 1, "T20", true) + c1, "0", n,
      lua_fn("c, t, u = 0, 'ABCDEF', 'ABCDEF'", "  if u == t then c = c + 1 end\n", "c"), abc + set("T80", "T20"));
  add("TXTSET", set("T20", "XYZ", false) + set("T80", "T20"), "0", "1",
      lua_fn("c, t, u = 0, '', ''", "  t = 'XYZ'\n  u = t\n", "c"), "", test("", "IF", "T80", 1, "XYZ") + c1);
  add("SETPB", set("AI", "I") + set("B", "AI"), n, "0", lua_fn("b, ai = 0, 0", "  ai = i\n  b = ai\n", "b"));
  add("SETPF", set("F5", "I") + set("B", "F5"), n, "0", lua_fn("b, f = 0, 0", "  f = i\n  b = f\n", "b"));
  add("SETPT", set("T20", "I") + set("B", "T20"), n, "0",
      lua_fn("b, t = 0, ''", "  t = tostring(i)\n  b = tonumber(t)\n", "b"));
  add("SETBF", calc("", "AI", "AI + 1") + set("F5", "AI") + set("BI", "F5"), n, "0",
      lua_fn("b, ai, f = 0, 0, 0", "  ai = ai + 1\n  f = ai\n  b = f\n", "b"), "", set("B", "BI"));
  add("SETFT", set("F5", "I") + set("T20", "F5") + set("F4", "T20"), n, "0",
      lua_fn("b, f, t = 0, 0, ''", "  f = i\n  t = tostring(f)\n  b = tonumber(t)\n", "b"), "", set("B", "F4"));
  add("SETBT", set("AI", "I") + set("T20", "AI") + set("BI", "T20"), n, "0",
      lua_fn("b, ai, t = 0, 0, ''", "  ai = i\n  t = tostring(ai)\n  b = tonumber(t)\n", "b"), "", set("B", "BI"));
  add("OCCB", set("NO", "I", true, "I") + set("B", "NO", true, "", "I"), occ, "0",
      lua_fn("b, no = 0, {}", "  no[i] = i\n  b = no[i]\n", "b"), "", "", kOcc);
  add("OCCT", set("XO", "T20", true, "I") + line("", "IF", {{0, "---"}, {4, "XO"}, {27, "I"}, {31, std::string(se_rel_code(1))}, {34, "---"}, {38, "T20"}}) + c1,
      "0", occ, lua_fn("c, t, xo = 0, 'ABCDEF', {}", "  xo[i] = t\n  if xo[i] == t then c = c + 1 end\n", "c"), abc, "",
      kOcc);
  add("APPEND", set("T20", "AB", false) + line("", "APPEND", {{0, "---"}, {4, "T20"}, {31, "1"}, {34, "---"}, {38, "T4"}}),
      "0", "1", lua_fn("c, t, u = 0, '', 'CD'", "  t = 'AB'\n  t = t .. ' ' .. u\n", "c"), set("T4", "CD", false),
      test("", "IF", "T20", 1, "AB CD") + c1);
  {
    using namespace std::chrono;
    year_month_day d{sys_days{year{2000} / 1 / 1} + days{kLoops}};
    char want[16];
    std::snprintf(want, sizeof want, "%04d%02u%02u", int(d.year()), unsigned(d.month()), unsigned(d.day()));
    add("DATEADD", op2("DATE ADD", "D", "5", "1", false), "0", "1",
        lua_fn("c, d = 0, 730120", "  d = d + 1\n", "c"), set("D", "20000101", false), test("", "IF", "D", 1, want) + c1);
  }
  add("SETDT", line("", "SET DATE", {{0, "---"}, {4, "D"}}), "0", "1",
      lua_fn("c, d = 0, 0", "  d = os.time()\n", "c"), "", test("", "IF", "D", 3, "20000101") + c1);
  auto cnv = [](const char* verb, const char* t, const char* s) {
    return line("", verb, {{0, "---"}, {4, t}, {34, "---"}, {38, s}});
  };
  add("CNVT", cnv("CNV TEXT", "T20", "I") + cnv("CNV TEXT", "B", "T20"), n, "0",
      lua_fn("b, t = 0, ''", "  t = tostring(i)\n  b = tonumber(t)\n", "b"));
  add("CNVB", calc("", "AI", "I") + cnv("CNV BIN", "T4", "AI") + cnv("CNV BIN", "B", "T4"), n, "0",
      lua_fn("b, ai, t = 0, 0, ''", "  ai = i\n  t = string.pack('<i4', ai)\n  b = string.unpack('<i4', t)\n", "b"));
  long long a = 0;
  for (long long i = 1; i <= kLoops; ++i) {
    a += i * 3;
    if (a > 1000000) a -= 1000000;
  }
  const std::string base_b = std::to_string(a);
  add("CALCB",
      calc("", "BI", "BI + 1") + calc("", "AI", "AI + BI * 3") + test("", "IF", "AI", 3, "1000000") +
          calc("T", "AI", "AI - 1000000"),
      base_b, "0",
      lua_fn("ai, bi = 0, 0", "  bi = bi + 1\n  ai = ai + bi * 3\n  if ai > 1000000 then ai = ai - 1000000 end\n", "ai"),
      "", set("B", "AI"));
  add("CALCM",
      calc("", "AI", "AI + 1") + calc("", "A", "A + AI * 3") + test("", "IF", "A", 3, "1000000") +
          calc("T", "A", "A - 1000000") + calc("", "B", "A"),
      base_b, "0",
      lua_fn("a, b, ai = 0, 0, 0",
             "  ai = ai + 1\n  a = a + ai * 3\n  if a > 1000000 then a = a - 1000000 end\n  b = a\n", "b"));
  add("CMPT", op2("COMPUTE", "A", "+", "I"), std::to_string(1LL * kLoops * (kLoops + 1) / 2), "0",
      lua_fn("a = 0", "  a = a + i\n", "a"), "", calc("", "B", "A"));
  add("CMPTB", op2("COMPUTE", "AI", "+", "3", false), std::to_string(3 * kLoops), "0",
      lua_fn("ai = 0", "  ai = ai + 3\n", "ai"), "", set("B", "AI"));
  add("CMPTF", op2("COMPUTE", "F5", "+", "1", false), n, "0", lua_fn("f = 0", "  f = f + 1\n", "f"), "",
      set("B", "F5"));
}

const std::vector<Body>& bodies() {
  static std::vector<Body> v = [] {
    std::vector<Body> v;
    const std::string wrap = test("", "IF", "A", 3, "1000000") + calc("T", "A", "A - 1000000") + calc("", "B", "A");
    long long a = 0, c = 0;
    for (long long i = 1; i <= kLoops; ++i) {
      a += i * 3;
      if (a > 1000000) a -= 1000000;
    }
    std::string base_b = std::to_string(a);
    // BASE
    v.push_back({"BASE", calc("", "A", "A + I * 3") + wrap, "", base_b, "0",
                 "return function(n)\n local a, b = 0, 0\n for i = 1, n do\n  a = a + i * 3\n"
                 "  if a > 1000000 then a = a - 1000000 end\n  b = a\n end\n return b\nend\n"});
    // DECI, in hundredths.
    a = 0;
    for (long long i = 1; i <= kLoops; ++i) {
      a += i * 125;
      if (a > 100000000) a -= 100000050;
    }
    v.push_back({"DECI",
                 calc("", "A", "A + I * 1.25") + test("", "IF", "A", 3, "1000000") + calc("T", "A", "A - 1000000.5") +
                     calc("", "B", "A"),
                 "", fmt_hundredths(a), "0",
                 "return function(n)\n local a, b = 0.0, 0.0\n for i = 1, n do\n  a = a + i * 1.25\n"
                 "  if a > 1000000.0 then a = a - 1000000.5 end\n  b = a\n end\n return b\nend\n"});
    // DIVI, in quarters.
    a = 0;
    for (long long i = 1; i <= kLoops; ++i) {
      a += i * 3;
      if (a > 4000000) a -= 4000000;
    }
    v.push_back({"DIVI", calc("", "A", "A + I * 3 / 4") + wrap, "", fmt_hundredths(a * 25), "0",
                 "return function(n)\n local a, b = 0.0, 0.0\n for i = 1, n do\n  a = a + i * 3 / 4\n"
                 "  if a > 1000000.0 then a = a - 1000000.0 end\n  b = a\n end\n return b\nend\n"});
    // ODDL: L stays 0.
    v.push_back({"ODDL", calc("", "A", "A + I * 3") + wrap + test("", "IF", "L", 5, "5") + calc("T", "C", "C + 1"), "",
                 base_b, std::to_string(kLoops),
                 "return function(n)\n local a, b, c, l = 0, 0, 0, 0\n for i = 1, n do\n  a = a + i * 3\n"
                 "  if a > 1000000 then a = a - 1000000 end\n  b = a\n  if l < 5 then c = c + 1 end\n end\n"
                 " return b + c\nend\n"});
    // IFAND
    a = 0;
    c = 0;
    for (long long i = 1; i <= kLoops; ++i) {
      a += i * 3;
      if (a > 1000000) a -= 1000000;
      if (a > 500000 && a < 700000) ++c;
    }
    v.push_back({"IFAND",
                 calc("", "A", "A + I * 3") + wrap + test("", "IF", "A", 3, "500000") + test("", "AND", "B", 5, "700000") +
                     calc("T", "C", "C + 1"),
                 "", base_b, std::to_string(c),
                 "return function(n)\n local a, b, c = 0, 0, 0\n for i = 1, n do\n  a = a + i * 3\n"
                 "  if a > 1000000 then a = a - 1000000 end\n  b = a\n"
                 "  if a > 500000 and b < 700000 then c = c + 1 end\n end\n return b + c\nend\n"});
    // GOSUB
    v.push_back({"GOSUB", calc("", "A", "A + I * 3") + wrap + line("", "GOSUB", {{4, "S1"}}),
                 line("", "LABEL", {{0, "S1"}}) + calc("", "C", "C + 1") + line("", "RETURN"), base_b,
                 std::to_string(kLoops),
                 "return function(n)\n local a, b, c = 0, 0, 0\n local function s1() c = c + 1 end\n"
                 " for i = 1, n do\n  a = a + i * 3\n  if a > 1000000 then a = a - 1000000 end\n  b = a\n  s1()\n"
                 " end\n return b + c\nend\n"});
    // DATE: today is after 2000-01-01.
    v.push_back({"DATE",
                 calc("", "A", "A + I * 3") + wrap + test("", "IF", "D", 3, "20000101") + calc("T", "C", "C + 1"),
                 "", base_b, std::to_string(kLoops),
                 "return function(n)\n local a, b, c, d = 0, 0, 0, 20261208\n for i = 1, n do\n  a = a + i * 3\n"
                 "  if a > 1000000 then a = a - 1000000 end\n  b = a\n  if d > 20000101 then c = c + 1 end\n end\n"
                 " return b + c\nend\n",
                 line("", "SET DATE", {{0, "---"}, {4, "D"}})});
    // RECORD
    {
      long long n = kLoops;
      v.push_back({"RECORD",
                   calc("", "Q", "I * 2 + 1") + calc("", "P", "Q") + test("", "IF", "P", 3, "100000") +
                       calc("T", "C", "C + 1") + calc("", "A", "A + P - I") + calc("", "B", "A"),
                   "", std::to_string(n * (n + 1) / 2 + n), std::to_string(n - 50000 + 1),
                   "return function(n)\n local a, b, c, p, q = 0, 0, 0, 0, 0\n for i = 1, n do\n  q = i * 2 + 1\n"
                   "  p = q\n  if p > 100000 then c = c + 1 end\n  a = a + p - i\n  b = a\n end\n return b + c\nend\n"});
    }
    // NEST and NEST12: BASE in an inner loop of two or twelve iterations.
    for (int k : {2, 12}) {
      long long a2 = 0;
      for (long long i = 1; i <= kLoops; ++i)
        for (int j = 0; j < k; ++j) {
          a2 += i * 3;
          if (a2 > 1000000) a2 -= 1000000;
        }
      std::string ks = std::to_string(k);
      v.push_back({k == 2 ? "NEST" : "NEST12",
                   stmttext::loop("K", "1", ks.c_str()) + calc("", "A", "A + I * 3") + wrap +
                       line("", "END LOOP", {{0, "K"}}),
                   "", std::to_string(a2), "0",
                   "return function(n)\n local a, b = 0, 0\n for i = 1, n do\n  for k = 1, " + ks +
                       " do\n   a = a + i * 3\n"
                       "   if a > 1000000 then a = a - 1000000 end\n   b = a\n  end\n end\n return b\nend\n"});
    }
    // The parts of BASE alone, to see where its time goes: the loop with
    // no body, the sum, the move and the test.
    v.push_back({"LOOP", "", "", "0", "0", "return function(n)\n local b = 0\n for i = 1, n do end\n return b\nend\n"});
    v.push_back({"SUM", calc("", "A", "A + I * 3"), "", "0", "0",
                 "return function(n)\n local a = 0\n for i = 1, n do a = a + i * 3 end\n return 0\nend\n"});
    v.push_back({"MOVE", calc("", "B", "A"), "", "0", "0",
                 "return function(n)\n local a, b = 0, 0\n for i = 1, n do b = a end\n return b\nend\n"});
    v.push_back({"TEST", test("", "IF", "A", 3, "1000000") + calc("T", "A", "A - 1000000"), "", "0", "0",
                 "return function(n)\n local a = 0\n for i = 1, n do\n  if a > 1000000 then a = a - 1000000 end\n end\n"
                 " return a\nend\n"});
    more_bodies(&v);
    return v;
  }();
  return v;
}

std::string program(const Body& b) {
  return std::string("process 6 L") + b.name + "\nstatements 1\n" + calc("", "J", std::to_string(b.n).c_str()) +
         calc("", "A", "0") + calc("", "B", "0") + calc("", "C", "0") + b.pre + stmttext::loop("I", "1", "J") + b.stmts +
         line("", "END LOOP", {{0, "I"}}) + b.post +
         // A wrong result ends the run with LOGOUT's 24 instead of 2.
         test("", "IF", "B", 6, b.b.c_str()) + line("T", "LOGOUT", {{8, "N"}}) + test("", "IF", "C", 6, b.c.c_str()) +
         line("T", "LOGOUT", {{8, "N"}}) + line("", "END") + b.tail;
}

struct World {
  Engine e;
  bool ok = false;
  World() {
    bi_init_com();
    ii_families_register();
    e.start();
    ii_util_init();  // the engine fixture's accumulator takes opcode 52 otherwise
    e.dictionary();
    if (!pltest::usr_in_db1() || !pltest::compilers_on()) return;
    fx::write("APPL", nullptr, nullptr, {fx::appl("0LA", "00")});
    // The calculation variables, each work field its own data area, L: a
    // 5-byte fixed packed work field, D: a date, and the fields of the
    // other statements.
    struct El {
      const char* name;
      int type, length, occurs, digits, decimals;
      const char* sign;
    };
    const El kEls[] = {{"A", 12, 9, 1, 15, 0, "1"},  {"B", 12, 9, 1, 15, 0, "1"},   {"C", 12, 9, 1, 15, 0, "1"},
                       {"I", 12, 9, 1, 15, 0, "1"},  {"J", 12, 9, 1, 15, 0, "1"},   {"L", 8, 5, 1, 9, 0, "1"},
                       // (a date's units: century to day)
                       {"D", 4, 8, 1, 8, 5, "0"},    {"Q", 12, 9, 1, 15, 0, "1"},   {"P", 12, 9, 1, 15, 0, "1"},
                       {"K", 12, 9, 1, 15, 0, "1"},
                       {"AI", 5, 4, 1, 10, 0, "1"},  {"BI", 5, 4, 1, 10, 0, "1"},   {"F5", 8, 5, 1, 9, 2, "1"},
                       {"F4", 8, 4, 1, 7, 0, "1"},   {"T4", 1, 4, 1, 0, 0, "1"},    {"T20", 1, 20, 1, 0, 0, "1"},
                       {"T80", 1, 80, 1, 0, 0, "1"}, {"NO", 5, 4, kOcc, 10, 0, "1"}, {"XO", 1, 8, kOcc, 0, 0, "1"}};
    std::vector<fx::Rec> els;
    int n = 0;
    for (const El& el : kEls) {
      ++n;
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2026-01-01T00:%02d:%02d", n / 60, n % 60);
      els.push_back(fx::rec("ELEMENT", {{"area", std::to_string(3000100 + n)}, {"work", "1"}, {"name", el.name},
                                        {"kind", "1"}, {"ident_stamp", stamp}, {"number", std::to_string(n)},
                                        {"length", std::to_string(el.length)}, {"occurs", std::to_string(el.occurs)},
                                        {"type", std::to_string(el.type)}, {"sign", el.sign},
                                        {"digits", std::to_string(el.digits)}, {"decimals", std::to_string(el.decimals)},
                                        {"key_kind", "255"}}));
      if (el.type == 4) rec::view<DElem>(els.back().data()).mask.set("08070605");
    }
    fx::write("ELEMENT", "0LA", "00", els);
    std::string text;
    std::vector<fx::Rec> procs;
    for (const Body& b : bodies()) {
      text += program(b);
      procs.push_back(proc_rec((std::string("L") + b.name).c_str(), 6, "0"));
    }
    SeFileResult r;
    if (se_read_file("loop.stmt", text, nullptr, &r) != 0) {
      for (const std::string& m : r.errors) std::fprintf(stderr, "%s\n", m.c_str());
      return;
    }
    std::vector<std::string> errs;
    if (se_store_dict("ABC", "00", nullptr, r.stmts, &errs) != int(r.stmts.size())) return;
    fx::write("PROCESS", "ABC", "00", procs);
    proc_svc.ii_proc_exec = ii_proc_exec;
    ok = pi_init() == 1;
  }
  ~World() { e.stop(); }
};

World& world() {
  static World w;
  return w;
}

void run_body(benchmark::State& st, const Body& b, bool plans) {
  World& w = world();
  if (!w.ok) {
    st.SkipWithError("statements not stored");
    return;
  }
  ii_loop_set_plans(plans);
  std::string name = std::string("L") + b.name;
  int rc = pltest::pi_run(name.c_str());  // compiled at its first run
  uint32_t before = pc_compile_count();
  uint64_t misses = ii_vc_counts().misses;
  for (auto _ : st) {
    if (rc != 2) {
      st.SkipWithError(("run ended with " + std::to_string(rc)).c_str());
      break;
    }
    rc = pltest::pi_run(name.c_str());
  }
  ii_loop_set_plans(true);
  st.counters["iter"] = benchmark::Counter(double(st.iterations()) * b.n, benchmark::Counter::kIsRate);
  st.counters["compiles"] = double(pc_compile_count() - before);
  // reads of variable packed values the value cache did not hold, an iteration
  st.counters["vc_miss"] = double(ii_vc_counts().misses - misses) / (double(st.iterations()) * b.n);
}

}  // namespace

int main(int argc, char** argv) {
  world();  // (the statement texts take the spellings the engine loads)
  for (const Body& b : bodies()) {
    for (int plans : {1, 0})
      benchmark::RegisterBenchmark((std::string("BM_Sc/") + b.name + "/plans:" + std::to_string(plans)).c_str(),
                                   [&b, plans](benchmark::State& st) { run_body(st, b, plans != 0); })
          ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("BM_Lua/") + b.name).c_str(),
                                 [&b](benchmark::State& st) { lua_loop(st, b.lua.c_str(), b.n); })
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
