// Statements compiled per second, counted in bytes of statement text, in
// the same run:
//   BM_ScCompile        pl_get compiling one Subroutine of about 39,000
//                       statements (comments, LABEL, GOTO forward and back,
//                       END, END PROC, EXIT, LOGOUT, runs of T/F columns of
//                       levels 1-3, and the computing verbs CALC, IF/AND/OR,
//                       BEG LOOP/END LOOP, OVERFLOW, GOSUB/RETURN) with an
//                       empty cache and no saved file, spread over the 11
//                       process event points;
//   BM_LuaLoadBuffer    the anchor: Lua 5.4 compiling (luaL_loadbuffer) a
//                       chunk of the same byte size and a like shape: comments,
//                       labels and gotos, nested ifs, returns.
// bytes_per_second of the two is the ratio. Besides:
//   BM_ScRecords/N      records to module: pl_get compiling a Subroutine of
//                       N statements of the same mix from the dictionary
//                       (N = 11: one per event point, 1,000, 39,000); the
//                       ns_per_stmt of 11 against 1,000 is the compile's
//                       fixed cost;
//   BM_ScText           text to module: the statement file read with the
//                       dictionary checks (se_read_file) and compiled from
//                       its records in place of the dictionary's, as
//                       `quvogen --check` does, per byte of text against
//                       BM_LuaLoadBuffer;
//   BM_ScTextReport     the same for a text of a report's shape (64 fields
//                       of every numeric form and text; SET, COMPUTE,
//                       IF/AND, CALC; constants common and rare), against
//                       BM_LuaLoadReport, a Lua chunk of a like shape.
#include <benchmark/benchmark.h>

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>
#include <map>
#include <random>
#include <string>

#include "design/se.h"
#include "design/se_valid.h"
#include "design/sefile.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pc.h"
#include "process/pc_fixture.h"

using namespace pltest;

namespace {

std::string line(const char* tf, const char* verb, const std::string& ops = "") {
  char b[128];
  std::snprintf(b, sizeof b, "%-5.5s %-8.8s %s", tf, verb, ops.c_str());
  std::string s = b;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Operand texts at their columns.
std::string at(std::initializer_list<std::pair<int, std::string>> ops) {
  std::string o(64, ' ');
  for (const auto& [col, text] : ops) o.replace(size_t(col), text.size(), text);
  while (!o.empty() && o.back() == ' ') o.pop_back();
  return o;
}

struct Corpus {
  std::string text;      // the statement file
  size_t bytes = 0;      // bytes of statement lines (each with its newline)
  size_t stmts = 0;
  std::string lua;       // the Lua chunk
};

// About `stmts` statements of the mix over the 11 event points (2,000
// lines each when 0).
Corpus make_corpus(const char* name, size_t stmts) {
    Corpus c;
    std::mt19937 rng(5);
    const char* cols[] = {"", "T", "F", "TT", "TF", "FT", "FF", "TTT", "TFF", "FTF"};
    const char* luacond[] = {"", "a", "not a", "a and b", "a and not b", "not a and b", "not a and not b",
                             "a and b and c", "a and not b and not c", "not a and b and not c"};
    c.text = std::string("process 6 ") + name + "\n";
    int label = 0;
    for (int ep = 1; ep <= 11; ++ep) {
      c.text += "statements " + std::to_string(ep) + "\n";
      c.lua += "function ep" + std::to_string(ep) + "(a, b, c, x, y, z)\n";
      size_t ep_end = stmts * size_t(ep) / 11;
      for (int i = 0; stmts ? c.stmts < ep_end : i < 2000; ++i) {
        std::string l, lu;
        int what = int(rng() % 16);
        // The last statements of a small event point: one-statement forms.
        if (stmts && ep_end - c.stmts < 6 && (what == 2 || what == 3 || what >= 12)) what = 0;
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
          // The computing verbs: CALC, IF/AND/OR, loops, GOSUB/RETURN, OVERFLOW.
          case 12:
            l = line("", "CALC", "A    A + B * 3 - (C / 2)");
            lu = "x = x + y * 3 - (z / 2)";
            break;
          case 13:
            l = line("", "IF", at({{0, "---"}, {4, "A"}, {31, "GT"}, {38, "1000"}})) + "\n" +
                line("", "AND", at({{0, "---"}, {4, "B"}, {31, "LT"}, {38, "5"}})) + "\n" +
                line("", "OR", at({{0, "---"}, {4, "C"}, {31, "EQ"}, {34, "---"}, {38, "A"}})) + "\n" + line("T", "CALC", "A    A - 1000");
            lu = "if x > 1000 and y < 5 or z == x then x = x - 1000 end";
            break;
          case 14:
            l = line("", "BEG LOOP", "I    1      10        1") + "\n" + line("", "CALC", "B    B + I") + "\n" +
                line("", "END LOOP", "I");
            lu = "for i = 1, 10 do y = y + i end";
            break;
          case 15: {
            std::string n = "S" + std::to_string(label++);
            l = line("", "OVERFLOW", n) + "\n" + line("", "GOSUB", "    " + n) + "\n" + line("", "END") + "\n" +
                line("", "LABEL", n) + "\n" + line("", "CALC", "C    C * 2") + "\n" + line("", "RETURN");
            lu = "local function " + n + "() z = z * 2 end\n" + n + "()\ndo return 1 end";
            break;
          }
          default: l = line(cols[col], "END"); lu = "return 1"; break;
        }
        if (what >= 12) {
        } else if (col && what >= 4) lu = "if " + std::string(luacond[col]) + " then " + lu + " end";
        else if (what >= 4) lu = "do " + lu + " end";
        c.text += l + "\n";
        c.bytes += l.size() + 1;
        c.stmts += size_t(1 + (what == 2 || what == 3) + (what == 13) * 3 + (what == 14) * 2 + (what == 15) * 5);
        c.lua += lu + "\n";
      }
      c.lua += "end\n";
    }
    // The same byte size: pad the chunk with comments (or stop there).
    while (c.lua.size() < c.bytes) c.lua += "-- a remark of the same kind as the statements carry\n";
    return c;
}

// A report's shape: many fields of every numeric form and text, set from
// constants and from each other, compared, computed and totalled; constants
// of every kind, the common ones (0, 1, 100) often, others once. 11 event
// points of 2,000 statements each.
constexpr int kPacked = 24, kFixed = 12, kBinary = 12, kTexts = 16;
std::string fld(char kind, int n) {
  char b[8];
  std::snprintf(b, sizeof b, "%c%02d", kind, n);
  return b;
}
Corpus make_report(const char* name) {
  Corpus c;
  std::mt19937 rng(11);
  const char* words[] = {"NORTH", "SOUTH", "EAST", "WEST", "OPEN", "CLOSED", "PAID", "DUE", "HELD",
                         "RETAIL", "TRADE", "EXPORT", "CASH", "CREDIT", "ON ORDER", "BACK ORDER"};
  const char* rels[] = {"EQ", "NE", "GT", "LT", "GE", "LE"};
  const char* lrels[] = {"==", "~=", ">", "<", ">=", "<="};
  const char* cols[] = {"", "T", "F", "TT", "TF", "FT"};
  const char* luacond[] = {"", "a", "not a", "a and b", "a and not b", "not a and b"};
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  auto number = [&](bool decimals) {
    static const char* common[] = {"0", "1", "2", "10", "100", "1000"};
    if (pick(2)) return std::string(common[pick(6)]);
    std::string v = std::to_string(rng() % 1000000);
    if (decimals && pick(2)) v += "." + std::to_string(10 + rng() % 90);
    return v;
  };
  // A numeric field of any form, with its Lua name.
  auto numeric = [&](char* kind) {
    int k = pick(3);
    *kind = "PFB"[k];
    return fld(*kind, 1 + pick(k == 0 ? kPacked : k == 1 ? kFixed : kBinary));
  };
  auto lname = [](std::string f) {
    for (auto& ch : f) ch = char(std::tolower(ch));
    return f;
  };
  c.text = std::string("process 6 ") + name + "\n";
  for (int ep = 1; ep <= 11; ++ep) {
    c.text += "statements " + std::to_string(ep) + "\n";
    c.lua += "function rep" + std::to_string(ep) + "(a, b)\n";
    for (int i = 0; i < 2000; ++i) {
      std::string l, lu;
      int col = pick(6);
      char k1 = 0, k2 = 0;
      switch (pick(9)) {
        case 0: {   // SET a number from a constant
          std::string t = numeric(&k1), v = number(k1 == 'F');
          if (k1 == 'B') v = v.substr(0, v.find('.'));
          l = line(cols[col], "SET", at({{0, "---"}, {4, t}, {38, v}}));
          lu = lname(t) + " = " + v;
          break;
        }
        case 1: {   // SET a text from a constant
          std::string t = fld('T', 1 + pick(kTexts)), w = words[pick(16)];
          l = line(cols[col], "SET", at({{0, "---"}, {4, t}, {38, w}}));
          lu = lname(t) + " = \"" + w + "\"";
          break;
        }
        case 2: {   // SET a field from another of its kind
          bool text = pick(4) == 0;
          std::string t = text ? fld('T', 1 + pick(kTexts)) : numeric(&k1);
          std::string f = text ? fld('T', 1 + pick(kTexts)) : numeric(&k2);
          l = line(cols[col], "SET", at({{0, "---"}, {4, t}, {34, "---"}, {38, f}}));
          lu = lname(t) + " = " + lname(f);
          break;
        }
        case 3: case 4: {   // IF/AND/OR over numbers and texts, then a SET
          std::string t1 = numeric(&k1), t2 = fld('T', 1 + pick(kTexts)), w = words[pick(16)];
          std::string v = number(k1 == 'F');
          if (k1 == 'B') v = v.substr(0, v.find('.'));
          int r1 = pick(6), r2 = pick(2);
          l = line("", "IF", at({{0, "---"}, {4, t1}, {31, rels[r1]}, {38, v}})) + "\n" +
              line("", "AND", at({{0, "---"}, {4, t2}, {31, rels[r2]}, {38, w}})) + "\n" +
              line("T", "COMPUTE", at({{0, "---"}, {4, fld('F', 1 + pick(kFixed))}, {31, "+"}, {34, "---"}, {38, t1}}));
          lu = "if " + lname(t1) + " " + lrels[r1] + " " + v + " and " + lname(t2) + " " + lrels[r2] + " \"" + w +
               "\" then f01 = f01 + " + lname(t1) + " end";
          col = 0;
          break;
        }
        case 5: {   // COMPUTE from a constant or a field
          std::string t = numeric(&k1);
          bool field = pick(2);
          std::string s = field ? numeric(&k2) : number(k1 == 'F');
          if (!field && k1 == 'B') s = s.substr(0, s.find('.'));
          const char* op = std::array<const char*, 3>{"+", "-", "*"}[size_t(pick(3))];
          l = line(cols[col], "COMPUTE", at({{0, "---"}, {4, t}, {31, op}, {34, field ? "---" : ""}, {38, s}}));
          lu = lname(t) + " = " + lname(t) + " " + op + " " + (field ? lname(s) : s);
          break;
        }
        case 6: {   // CALC over the calculation variables and constants
          const char* v = "ABCDEFGH";
          std::string e = std::string(1, v[pick(8)]) + " + " + v[pick(8)] + " * " + number(true) + " - " + v[pick(8)];
          std::string t(1, v[pick(8)]);
          l = line(cols[col], "CALC", t + "    " + e);
          lu = lname(t) + " = " + lname(e);
          break;
        }
        case 7: {   // a remark
          l = line("", "*", "totals by " + std::string(words[pick(16)]) + " and region");
          lu = "-- totals by region";
          col = 0;
          break;
        }
        default: {   // IF a text against a text field, then SET
          std::string t1 = fld('T', 1 + pick(kTexts)), t2 = fld('T', 1 + pick(kTexts));
          l = line("", "IF", at({{0, "---"}, {4, t1}, {31, "EQ"}, {34, "---"}, {38, t2}})) + "\n" +
              line("T", "SET", at({{0, "---"}, {4, t1}, {38, words[pick(16)]}}));
          lu = "if " + lname(t1) + " == " + lname(t2) + " then " + lname(t1) + " = \"X\" end";
          col = 0;
          break;
        }
      }
      if (col) lu = "if " + std::string(luacond[col]) + " then " + lu + " end";
      c.text += l + "\n";
      c.bytes += l.size() + 1;
      c.stmts += size_t(1 + std::count(l.begin(), l.end(), '\n'));
      c.lua += lu + "\n";
    }
    c.lua += "end\n";
  }
  while (c.lua.size() < c.bytes) c.lua += "-- a remark of the same kind as the statements carry\n";
  return c;
}

const Corpus& corpus() {
  static Corpus c = make_corpus("BENCH", 0);
  return c;
}
const Corpus& report() {
  static Corpus c = make_report("BENCHR");
  return c;
}
// The smaller processes of BM_ScRecords.
const std::vector<std::pair<size_t, Corpus>>& sized() {
  static std::vector<std::pair<size_t, Corpus>> v = [] {
    std::vector<std::pair<size_t, Corpus>> v;
    for (size_t n : {11, 1000}) v.emplace_back(n, make_corpus(("BENCH" + std::to_string(n)).c_str(), n));
    return v;
  }();
  return v;
}

struct World {
  Engine e;
  Pcb* pcb = nullptr;
  std::map<size_t, std::pair<Pcb*, size_t>> by_size;  // statements: the PCB, the count made
  bool ok = false;
  World() {
    bi_init_com();
    ii_families_register();
    e.start();
    e.dictionary();
    e.user();
    if (!pltest::compilers_on()) return;
    fx::write("CHILD", "ABC", "00", {});
    fx::write("SELECT", "ABC", "00", {});
    fx::write("FILE", "0LA", "00", {});
    // The calculation variables of the computing verbs, each work field its
    // own data area.
    fx::write("APPL", nullptr, nullptr, {fx::appl("0LA", "00")});
    // The report's fields besides: D-H, and packed, fixed packed (2
    // decimals), binary and text fields.
    std::vector<fx::Rec> els;
    int n = 0;
    auto el = [&](const std::string& name, int type, int len, int digits, int decimals) {
      ++n;
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2026-01-01T00:%02d:%02d", n / 60, n % 60);
      els.push_back(fx::rec("ELEMENT", {{"area", std::to_string(3000100 + n)}, {"work", "1"}, {"name", name},
                                        {"kind", "1"}, {"ident_stamp", stamp}, {"number", std::to_string(n)},
                                        {"length", std::to_string(len)}, {"occurs", "1"}, {"type", std::to_string(type)},
                                        {"sign", "1"}, {"digits", std::to_string(digits)},
                                        {"decimals", std::to_string(decimals)}, {"key_kind", "255"}}));
    };
    for (const char* name : {"A", "B", "C", "I"}) el(name, 12, 9, 15, 0);
    for (const char* name : {"D", "E", "F", "G", "H"}) el(name, 12, 9, 15, 0);
    for (int i = 1; i <= kPacked; ++i) el(fld('P', i), 12, 9, 15, 0);
    for (int i = 1; i <= kFixed; ++i) el(fld('F', i), 8, 10, 17, 2);
    for (int i = 1; i <= kBinary; ++i) el(fld('B', i), 5, 4, 9, 0);
    for (int i = 1; i <= kTexts; ++i) el(fld('T', i), 1, 20, 0, 0);
    fx::write("ELEMENT", "0LA", "00", els);
    std::string text = corpus().text + report().text;
    std::vector<fx::Rec> procs = {proc_rec("BENCH", 6, "0"), proc_rec("BENCHR", 6, "0")};
    for (const auto& [n, c] : sized()) {
      text += c.text;
      procs.push_back(proc_rec(("BENCH" + std::to_string(n)).c_str(), 6, "0"));
    }
    SeFileResult r;
    if (se_read_file("bench.stmt", text, nullptr, &r) != 0) return;
    std::vector<std::string> errs;
    se_store_dict("ABC", "00", nullptr, r.stmts, &errs);
    fx::write("PROCESS", "ABC", "00", procs);
    // A dictionary as users have it: not changed in the last seconds (the
    // compiler keeps the PARAM file open only then).
    FmFdb parm;
    INIT_DPARM_FDB(&parm, "ABC", "00");
    parm.options = FM_OPT_NO_SYSDIR;
    std::string path;
    timespec old[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    if (fm_os_path(&parm, &path)) {
      ::utimensat(AT_FDCWD, path.c_str(), old, 0);
      ::utimensat(AT_FDCWD, path.substr(0, path.rfind('/')).c_str(), old, 0);   // and its directory
    }
    pcb = e.pcb("BENCH", 2, 6);
    by_size[corpus().stmts] = {pcb, corpus().stmts};
    for (const auto& [n, c] : sized())
      by_size[n] = {e.pcb(("BENCH" + std::to_string(n)).c_str(), 2, 6), c.stmts};
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

void BM_ScRecords(benchmark::State& st) {
  World& w = world();
  // The process whose count is nearest N.
  auto it = w.by_size.begin();
  for (auto i = w.by_size.begin(); i != w.by_size.end(); ++i)
    if (std::llabs(int64_t(i->first) - st.range(0)) < std::llabs(int64_t(it->first) - st.range(0))) it = i;
  if (!w.ok || it == w.by_size.end()) {
    st.SkipWithError("corpus not read");
    return;
  }
  auto [pcb, stmts] = it->second;
  for (auto _ : st) {
    pl_flush();
    if (!pl_get(pcb, 0)) {
      st.SkipWithError("compile failed");
      break;
    }
    pl_release(pcb);
  }
  st.SetItemsProcessed(int64_t(st.iterations()) * int64_t(stmts));
  st.counters["statements"] = double(stmts);
  st.counters["ns_per_stmt"] =
      benchmark::Counter(double(stmts), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ScRecords)->Arg(11)->Arg(1000)->Arg(39000)->Unit(benchmark::kMicrosecond);

// Reads a statement file with the dictionary checks and compiles its
// process as `quvogen --check` does.
void text_to_module(benchmark::State& st, const std::string& text, const char* name) {
  World& w = world();
  if (!w.ok) {
    st.SkipWithError("corpus not read");
    return;
  }
  PiInvoc key;
  std::memset(static_cast<void*>(&key), 0, sizeof key);
  key.app.set("ABC");
  key.ver.set("00");
  key.type = 6;
  key.name.set(name);
  for (auto _ : st) {
    bool ok = false;
    std::string why;
    mark(0, [&] {
      SeDict dict("ABC", "00");
      SeDictValidator val(dict);
      SeFileResult r;
      if (se_read_file("bench.stmt", text, &val, &r) != 0) {
        why = r.errors.empty() ? "the text was refused" : r.errors.front();
        return;
      }
      std::vector<std::string> errs;
      FmArb* stmts = se_check_file("ABC", "00", &dict, r.stmts, &errs);
      if (!stmts) return;
      pc_set_stmt_source("ABC", stmts, se_checked_procs(r.procs));
      std::vector<DCmplErr> cerrs;
      uint32_t code = 0;
      ok = pc_check(key, &cerrs, &code) != 0 && cerrs.empty();
      if (!ok) why = "compile errors: " + std::to_string(cerrs.size());
      pc_set_stmt_source("ABC", nullptr);
    });
    if (!ok) {
      st.SkipWithError(("the text did not compile: " + why).c_str());
      break;
    }
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(text.size()));
}

void BM_ScText(benchmark::State& st) { text_to_module(st, corpus().text, "BENCH"); }
BENCHMARK(BM_ScText)->Unit(benchmark::kMillisecond);

void BM_ScTextReport(benchmark::State& st) { text_to_module(st, report().text, "BENCHR"); }
BENCHMARK(BM_ScTextReport)->Unit(benchmark::kMillisecond);

void lua_load(benchmark::State& st, const std::string& src) {
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

void BM_LuaLoadBuffer(benchmark::State& st) { lua_load(st, corpus().lua); }
BENCHMARK(BM_LuaLoadBuffer)->Unit(benchmark::kMillisecond);

void BM_LuaLoadReport(benchmark::State& st) { lua_load(st, report().lua); }
BENCHMARK(BM_LuaLoadReport)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
