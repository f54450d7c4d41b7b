// A report over a native file against `LC_ALL=C sort` and awk, in one run:
// the Output process OPB REPORT of bench/op-app (OPB, database OPB) prints
// every sale of OPSALE in the order of a query sorted on region and branch
// (two range levels: a subtotal line at the end of each branch and region
// from the application's own range end frames, SET TOT over a TOTAL of the
// detail frame), the grand total at the end, a page heading, 60-line pages,
// kept in the print directory (KEEP).
//
//   BM_OpAnchor  the same records as text lines (region, branch, sale
//                number, amount; written in record-number order as the
//                file holds them) through `LC_ALL=C sort -s` on the two
//                fields and a short awk program that prints the same report
//   BM_OpReport  the engine: a process of its own (forked; the whole engine
//                with the Output executors, on a memory terminal) runs the
//                menu OPB MENU, whose option 1 invokes the report with the
//                query OPB SALES, then END. The query's criteria (its two
//                sort lines) are written into the query files when the
//                stream asks for its definition, as the Query executor will
//                leave them. Timed from that request to the engine's end.
//
// The awk program's output must equal the engine's print file byte for
// byte (an oracle of the engine's page breaks, lines and totals): a
// difference stops the benchmark with an error. Counters: pages per second
// (form feeds of the print file), and for the engine its peak RSS (wait4:
// each size its own process), its growth from 1,000 to 1,000,000 records
// against QUVO_RUN_MEM + 16 MiB, and its time over the anchor's. The peak
// RSS counts the pages of the files the engine maps (the process file is
// read whole, once in key order and once in the query's order, each a pass
// that keeps a bounded part of the file resident). Sizes: 1,000 and 1,000,000 records.
// The setup (the application added, the file filled by the Subroutine
// OPB SETUP 1K or 1M) is not timed. BENCH_OP_KEEP=DIR keeps a copy of each
// engine run's files (data directory, print file) in DIR.
//
// `bench_op --oracle` runs the 1,000-record report once and compares it
// with the awk program's output (a test of the suite): exit status 0 when
// equal.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_world.h"
#include "engine.h"
#include "executors/op.h"
#include "files/fm.h"
#include "foundation/os.h"
#include "process/pb.h"
#include "process/pbutil.h"
#include "screen/km.h"
#include "screen/memterm.h"
#include "screen/wm.h"
#include "support/query_sort.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::string slurp(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The report as the awk program prints it from the sorted lines
// "region branch number amount", as a print file holds it: every line
// begins with its advance (a line feed) and has no trailing blanks; a
// page is 60 lines, the page heading (two lines, the page number
// right-aligned in 10 columns) first; a form feed ends every page. A
// detail line per sale, a subtotal line at the end of each branch and
// region, the grand total last. The items float left against the text
// before them (no blank kept), as the report images place them.
constexpr const char* kAwk = R"AWK(
function line(s) {
  if (left == 0) {
    page++
    printf "\nSALES BY REGION AND BRANCH             Page%10d\nRegion Branch  Sale no      Amount", page
    left = 58
  }
  printf "\n%s", s
  if (--left == 0) printf "\f"
}
function total(label, v) { line(sprintf("%s total%15.0f", label, v)) }
{
  r = $1 + 0; b = $2 + 0
  if (NR > 1 && (r != pr || b != pb)) { total("               Branch", tb); tb = 0 }
  if (NR > 1 && r != pr) { total("               Region", tr); tr = 0 }
  line(sprintf("%5d%5d%10d%10d", r, b, $3, $4))
  tb += $4; tr += $4; tg += $4; pr = r; pb = b
}
END {
  if (NR > 0) { total("               Branch", tb); total("               Region", tr) }
  total("                Grand", tg)
  if (left > 0) printf "\f"
}
)AWK";

// A data directory with OPB added, its file of n records filled, and the
// same records as text lines (records.txt) for the anchor.
struct World : benchworld::World {
  int n;
  World(const char* tag, int records) : benchworld::World(tag, QUVO_BENCH_APPS, "OPB"), n(records) {
    if (!error.empty()) return;
    const char* setup = n == 1000 ? "'OPB SETUP 1K'" : n == 1000000 ? "'OPB SETUP 1M'" : nullptr;
    if (!setup) {
      error = "sizes are 1000 and 1000000";
      return;
    }
    if (run("OPB", "OPB", setup) != 127) {
      error = std::string(setup) + " did not end with LOGOUT";
      return;
    }
    // The Subroutine's loops J, K (passes), R (region) and B (branch):
    // pass P = 100 J + K, number (10 P + R) x 100 + B, amount 7 P + B.
    int js = n == 1000 ? 1 : 10, ks = n == 1000 ? 1 : 100;
    std::ofstream out(root + "/records.txt");
    char buf[64];
    for (int j = 1; j <= js; ++j)
      for (int k = 1; k <= ks; ++k)
        for (int r = 1; r <= 10; ++r)
          for (int b = 1; b <= 100; ++b) {
            int p = 100 * j + k;
            int len = std::snprintf(buf, sizeof buf, "%02d %03d %08d %d\n", r, b, (10 * p + r) * 100 + b, 7 * p + b);
            out.write(buf, len);
          }
    std::ofstream(root + "/report.awk") << kAwk;
  }
};

World& world(int n) {
  static std::map<int, std::unique_ptr<World>> ws;
  auto& w = ws[n];
  if (!w) w = std::make_unique<World>(n == 1000 ? "op1k" : "op1m", n);
  return *w;
}

// ------------------------------------------------------------- engine --

MemTerm& term() {
  static MemTerm t;
  return t;
}

struct EngineRun {
  std::string error;
  double secs = 0;
  long peak_kb = 0;
  std::string file;  // the print file
};

// Runs the menu and the report in a child; its time is written to `timef`.
EngineRun run_engine(World& w) {
  EngineRun res;
  std::string prt = w.root + "/prt", timef = w.root + "/engine.time", errf = w.root + "/engine.err";
  fs::remove_all(prt);
  fs::create_directories(prt);
  fs::remove(timef);
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!std::freopen(errf.c_str(), "w", stderr)) _exit(91);
    setenv("QUVOPATH", w.var.c_str(), 1);
    setenv("QUVO_PRT_FI_DIR", prt.c_str(), 1);
    setenv("TERM", "xterm", 1);
    static Keymap km;
    std::string err;
    if (!km_compile_source(kTestKeymap, ".", "bench.km", "xterm", &km, &err)) _exit(90);
    term().key("1");
    term().key("\r");
    term().key("\x1bOR");
    engine_register();
    op_register();
    op_exec_register();
    os_set_init(OsInit::Wm, [] { return wm_start_deferred(&term(), &km); });
    static Clock::time_point t0;
    static bool started = false;
    pb_set_define([](const FmScbQuery& q, PbQueryDef* out) {
      if (!started) t0 = Clock::now(), started = true;
      if (!qsort_fx::write(int(q.scope), {"OPB", "OPB SALES", {"SALE REGION", "SALE BRANCH"}})) return 0;
      return pb_qfi_define(q, out);
    });
    const char* args[] = {"quvo", "-d", "OPB", "-a", "OPB", "-t", "Menu", "-p", "OPB MENU", nullptr};
    int rc = os_main(9, const_cast<char**>(args));
    auto t1 = Clock::now();
    if (started) std::ofstream(timef) << seconds(t0, t1) << "\n";
    std::fflush(nullptr);
    _exit(rc);
  }
  int st = 0;
  rusage u{};
  wait4(pid, &st, 0, &u);
  res.peak_kb = u.ru_maxrss;
  int rc = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  std::string t = slurp(timef);
  if (rc != 0 || t.empty()) {
    res.error = "the engine ended with " + std::to_string(rc) + (t.empty() ? " before the query" : "") + ": " +
                slurp(errf).substr(0, 400);
    return res;
  }
  res.secs = std::atof(t.c_str());
  res.file = prt + "/PRTFI000";
  if (const char* keep = std::getenv("BENCH_OP_KEEP"))  // a copy of the run's files, to look at
    benchworld::sh("rm -rf " + std::string(keep) + " && cp -r " + w.root + " " + keep);
  return res;
}

// ------------------------------------------------------------- anchor --

struct AnchorRun {
  std::string error;
  double secs = 0;
  std::string out;  // its report
};

AnchorRun run_anchor(World& w) {
  AnchorRun res;
  std::string out = w.root + "/anchor.out";
  std::string cmd = "LC_ALL=C sort -s -k1,2 " + w.root + "/records.txt | LC_ALL=C awk -f " + w.root +
                    "/report.awk > " + out;
  auto t0 = Clock::now();
  int rc = benchworld::sh(cmd);
  res.secs = seconds(t0, Clock::now());
  if (rc != 0) res.error = "sort | awk failed";
  res.out = out;
  return res;
}

// Whether two files are equal, read a block at a time (the benchmark's
// process holds no report: its engine children inherit what it holds).
bool same_file(const std::string& a, const std::string& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  if (!x || !y) return false;
  std::vector<char> p(1 << 16), q(1 << 16);
  for (;;) {
    x.read(p.data(), std::streamsize(p.size()));
    y.read(q.data(), std::streamsize(q.size()));
    if (x.gcount() != y.gcount() || std::memcmp(p.data(), q.data(), size_t(x.gcount())) != 0) return false;
    if (x.gcount() == 0) return true;
  }
}

// The first line where two reports differ, for the error.
std::string first_difference(const std::string& engine_file, const std::string& anchor_file) {
  std::string engine = slurp(engine_file), anchor = slurp(anchor_file);
  size_t i = 0, line = 1, from = 0;
  while (i < engine.size() && i < anchor.size() && engine[i] == anchor[i]) {
    if (engine[i] == '\n') ++line, from = i + 1;
    ++i;
  }
  auto show = [&](const std::string& s) {
    std::string l = s.substr(std::min(from, s.size()), 90);
    return l.substr(0, l.find('\n'));
  };
  return "line " + std::to_string(line) + ": engine \"" + show(engine) + "\", awk \"" + show(anchor) + "\"";
}

// A report's pages: its form feeds.
size_t pages(const std::string& file) {
  std::ifstream f(file, std::ios::binary);
  std::vector<char> b(1 << 16);
  size_t n = 0;
  while (f.read(b.data(), std::streamsize(b.size())) || f.gcount() > 0)
    n += size_t(std::count(b.begin(), b.begin() + f.gcount(), '\f'));
  return n;
}

std::map<int, AnchorRun> g_anchor;
std::map<int, long> g_peak_kb;

void BM_OpAnchor(benchmark::State& st) {
  World& w = world(int(st.range(0)));
  if (!w.error.empty()) return st.SkipWithError(w.error.c_str());
  AnchorRun a;
  for (auto _ : st) {
    a = run_anchor(w);
    st.SetIterationTime(a.secs);
  }
  if (!a.error.empty()) return st.SkipWithError(a.error.c_str());
  st.counters["pages"] = benchmark::Counter(double(pages(a.out)), benchmark::Counter::kIsIterationInvariantRate);
  g_anchor[w.n] = std::move(a);
}

void BM_OpReport(benchmark::State& st) {
  World& w = world(int(st.range(0)));
  if (!w.error.empty()) return st.SkipWithError(w.error.c_str());
  EngineRun e;
  for (auto _ : st) {
    e = run_engine(w);
    st.SetIterationTime(std::max(1e-6, e.secs));
  }
  if (!e.error.empty()) return st.SkipWithError(e.error.c_str());
  auto a = g_anchor.find(w.n);
  if (a == g_anchor.end()) a = g_anchor.emplace(w.n, run_anchor(w)).first;
  if (!same_file(e.file, a->second.out)) {
    static std::string why;
    why = "the print file differs from the awk report at " + first_difference(e.file, a->second.out);
    return st.SkipWithError(why.c_str());
  }
  st.counters["pages"] = benchmark::Counter(double(pages(e.file)), benchmark::Counter::kIsIterationInvariantRate);
  st.counters["peak_MiB"] = double(e.peak_kb) / 1024;
  st.counters["x_anchor"] = e.secs / std::max(1e-6, a->second.secs);
  g_peak_kb[w.n] = e.peak_kb;
  if (g_peak_kb.count(1000) && g_peak_kb.count(1000000)) {
    // The growth from 1,000 to 1,000,000 records against the query's run
    // memory and 16 MiB.
    long run_kb = long(pb_run_mem() / 1024);
    st.counters["rss_growth_MiB"] = double(g_peak_kb[1000000] - g_peak_kb[1000]) / 1024;
    st.counters["rss_bound_MiB"] = double(run_kb + 16 * 1024) / 1024;
  }
}

BENCHMARK(BM_OpAnchor)->Arg(1000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpReport)->Arg(1000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpAnchor)->Arg(1000000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpReport)->Arg(1000000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The suite's check: the 1,000-record report equals the awk program's.
int oracle() {
  World& w = world(1000);
  if (!w.error.empty()) return std::fprintf(stderr, "%s\n", w.error.c_str()), 1;
  EngineRun e = run_engine(w);
  if (!e.error.empty()) return std::fprintf(stderr, "%s\n", e.error.c_str()), 1;
  AnchorRun a = run_anchor(w);
  if (!a.error.empty()) return std::fprintf(stderr, "%s\n", a.error.c_str()), 1;
  if (!same_file(e.file, a.out)) return std::fprintf(stderr, "%s\n", first_difference(e.file, a.out).c_str()), 1;
  if (pages(e.file) < 2) return std::fprintf(stderr, "one page only\n"), 1;
  std::printf("equal: %zu pages\n", pages(e.file));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--oracle") == 0) return oracle();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
