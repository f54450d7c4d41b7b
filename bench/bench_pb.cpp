// A query's sort and merge into the pointer file against `LC_ALL=C sort`,
// one run each, in the same memory (64 MiB):
//   engine  - elements of an alpha 10 and a signed binary 4 field, the
//             ordinal and a 4-byte id, keys built from records, sorted in
//             runs of QUVO_RUN_MEM and merged into the pointer file, which
//             is then read through
//   sort    - the same keys as fixed-width lines of a file, sorted by
//             `LC_ALL=C sort -S 64M` with its default threads and with
//             --parallel=1
// Also a whole query over a native file of 1M records (a 4-byte unique key,
// the same two sort fields): every record read in key order, tested by a
// compiled selection of three lines, its key built and sorted, then every
// selected record read again by its id in sort order, as a query stream
// delivers them; and the same query through a query stream: attached,
// started and read to its end with level events, each record read by the
// stream (the definition comes through the engine's definition interface,
// its lines tested on the record's bytes; ids are record addresses, or
// key values when BENCH_PB_KEY_IDS is set), against the sort of 1M keys.
// Each run is a process of its own, so its peak RSS (getrusage) is its own;
// the engine's is given over its baseline (measured in the same process
// before the sort starts). Sizes: 1M and 10M elements (arguments override).
// Prints one table; the work files go to $TMPDIR (or /tmp).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/mm.h"
#include "foundation/bi.h"
#include "foundation/ut.h"
#include "process/pb.h"
#include "process/pbutil.h"

namespace {

constexpr uint64_t kMem = 64ull << 20;

long peak_kb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Record i: alpha 10 (upper-case letters, some blank) and a signed binary 4.
struct Gen {
  std::mt19937_64 rng{12345};
  void rec(uint8_t* r) {
    uint64_t x = rng();
    if (x % 97 == 0) std::memset(r, ' ', 10);
    else
      for (int i = 0; i < 10; ++i) r[i] = uint8_t('A' + (rng() % 26));
    int32_t b = int32_t(uint32_t(rng()));
    std::memcpy(r + 10, &b, 4);
  }
};

PbKeyDef key_def() {
  PbKeyDef d;
  PbKeyField a;
  a.level = 1, a.type = 1, a.offset = 0, a.len = 10;
  PbKeyField b;
  b.level = 2, b.type = 5, b.offset = 10, b.len = 4, b.is_signed = true;
  d.fields = {a, b};
  pb_key_layout(&d);
  return d;
}

// The engine's run: prints "seconds base_kb peak_kb runs passes".
int engine(uint64_t n, const std::string& dir) {
  bi_init_com();
  fm_serve_foundation();
  fms_init();
  setenv("QUVOPATH", dir.c_str(), 1);
  PbKeyDef d = key_def();
  int rc = mark(1, [&] {
    long base = peak_kb();
    double t0 = now();
    // QUVO_RUN_MEM, when set, gives the run memory (a smaller one makes
    // more runs and merge passes); else 64 MiB.
    PbSort s("QBN", com.depth, 0x1000, d.key_len, 4, d.level_of, d.levels,
             std::getenv("QUVO_RUN_MEM") ? pb_run_mem() : kMem);
    Gen g;
    uint8_t r[14];
    std::vector<uint8_t> e(d.key_len + 4u);
    for (uint64_t i = 0; i < n; ++i) {
      g.rec(r);
      pb_enc_key(d, r, uint32_t(i + 1), e.data());
      std::memcpy(e.data() + d.key_len, &i, 4);
      if (!s.add(e.data())) {
        std::fprintf(stderr, "add failed: %u\n", s.status());
        std::exit(1);
      }
    }
    if (!s.finish()) {
      std::fprintf(stderr, "finish failed: %u\n", s.status());
      std::exit(1);
    }
    PbPtr p;
    uint64_t got = 0, sum = 0;
    while (s.next(&p)) ++got, sum += p.after;
    double t1 = now();
    if (got != n) {
      std::fprintf(stderr, "read %llu of %llu\n", (unsigned long long)got, (unsigned long long)n);
      std::exit(1);
    }
    std::printf("%.3f %ld %ld %u %u\n", t1 - t0, base, peak_kb(), s.stats().runs, s.stats().passes);
  });
  return rc == 1 ? 0 : 1;
}

// The native file of the whole query: n records of 32 bytes, a 4-byte
// unique key (the record number), the two sort fields after it.
FmArb* native_file(MmPool pool, uint64_t n, const char* name, double* secs) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb)));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb)));
  init_sdb_func(sdb, 1, 0, 4, FM_SEG_BINARY, '+');
  INIT_KDB(kdb, 0, '+', 0, sdb, 1);
  auto* f = static_cast<FmFdb*>(MM_ALLOC(pool, sizeof(FmFdb)));
  INIT_FDB(f, FM_CLASS_DISK, 32, 0, kdb, 1);
  INIT_DB_PATH(f, "QBN", "QBN", "01", name, FM_PT_DATA);
  if (!FM_CREATE(f, com.depth, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) {
    std::fprintf(stderr, "create failed: %u\n", unsigned(f->status));
    std::exit(1);
  }
  FmArb* a = f->handle.get();
  auto* r = static_cast<uint8_t*>(MM_ALLOC(pool, 32));
  double t0 = now();
  Gen g;
  for (uint64_t i = 0; i < n; ++i) {
    std::memset(r, 0, 32);
    rec::view<rec::U32>(r).set(uint32_t(i));
    g.rec(r + 4);
    a->rec.set(r);
    a->rec_len = 0;
    a->op = 0;
    if (!fm_write(a)) {
      std::fprintf(stderr, "write failed: %u\n", unsigned(a->status));
      std::exit(1);
    }
  }
  *secs = now() - t0;
  return a;
}

// The whole query through a stream: prints "build_s read_s records events
// base_kb peak_kb".
int stream(uint64_t n, const std::string& dir) {
  bi_init_com();
  fm_serve_foundation();
  fms_init();
  pb_init();
  setenv("QUVOPATH", dir.c_str(), 1);
  setenv("QUVO_RUN_MEM", std::to_string(kMem).c_str(), 1);
  int rc = mark(1, [&] {
    MmPool pool = mm_create_pool(" BENCHPB ", 0, 0);
    double build;
    FmArb* a = native_file(pool, n, "STREAM", &build);
    long base = peak_kb();
    pb_set_define([](const FmScbQuery&, PbQueryDef* out) {
      out->lines.resize(3);
      for (uint32_t i = 0; i < 3; ++i) {
        std::memset(static_cast<void*>(&out->lines[i]), ' ', sizeof(PbQslct));
        out->lines[i].kind = 8;
        out->lines[i].line = i + 1;
        out->lines[i].relation = 1;
        out->lines[i].on = '1';
      }
      out->text8 = "(1 AND 2) OR 3";
      out->test = [](const PbQslct& l, const uint8_t* r) {
        if (l.line == 1) return r[4] > 'C';
        if (l.line == 2) return (r[17] & 0x80) == 0;
        return (rec::view<rec::U32>(r) & 1) == 0;
      };
      out->key = key_def();
      for (PbKeyField& f : out->key.fields) f.offset += 4;
      if (std::getenv("BENCH_PB_KEY_IDS")) out->id_key = 0;
      return 1;
    });
    auto* q = static_cast<FmScbQuery*>(MM_ALLOC(pool, sizeof(FmScbQuery)));
    std::memset(static_cast<void*>(q), 0, sizeof *q);
    q->head.type = FM_SCB_QUERY;
    q->scope = uint32_t(com.depth);
    q->app.set("QBN");
    q->ver.set("01");
    q->name.set("BENCH");
    q->level_events = 1;
    double t0 = now();
    FmArb* s = FM_ATTACH(a, &q->head, com.depth);
    if (!s) std::exit(1);
    s->rec.set(static_cast<uint8_t*>(MM_ALLOC(pool, 32)));
    uint64_t recs = 0, events = 0;
    s->op = FM_OP_FIRST;
    while (fm_rdnxt(s) || s->status == FM_ST_HELD_SELF) {
      s->op = 0;
      if (s->status == FM_ST_LEVEL_START || s->status == FM_ST_LEVEL_END) ++events;
      else ++recs;
    }
    if (s->status != FM_ST_EOF) std::exit(1);
    double t1 = now();
    std::printf("%.3f %.3f %llu %llu %ld %ld\n", build, t1 - t0, (unsigned long long)recs,
                (unsigned long long)events, base, peak_kb());
  });
  return rc == 1 ? 0 : 1;
}

// The whole query: prints "build_s select_sort_s deliver_s selected base_kb peak_kb".
int query(uint64_t n, const std::string& dir) {
  bi_init_com();
  fm_serve_foundation();
  fms_init();
  setenv("QUVOPATH", dir.c_str(), 1);
  PbKeyDef d = key_def();
  for (PbKeyField& f : d.fields) f.offset += 4;
  int rc = mark(1, [&] {
    MmPool pool = mm_create_pool(" BENCHPB ", 0, 0);
    double build;
    FmArb* a = native_file(pool, n, "PCF", &build);
    double t1 = now();
    auto* r = static_cast<uint8_t*>(MM_ALLOC(pool, 32));
    long base = peak_kb();
    // The selection (1 AND 2) OR 3: the alpha begins after 'C', the binary
    // is not negative, the record number is even.
    std::vector<PbQslct> lines(3);
    for (uint32_t i = 0; i < 3; ++i) {
      std::memset(static_cast<void*>(&lines[i]), ' ', sizeof(PbQslct));
      lines[i].kind = 8;
      lines[i].line = i + 1;
      lines[i].relation = 1;
      lines[i].on = '1';
    }
    std::string t8 = "(1 AND 2) OR 3" + std::string(786, ' '), t9(800, ' ');
    PbTree tree;
    uint32_t st;
    size_t pos;
    pb_bld_slct(t8.data(), t9.data(), 800, &lines, &tree, &st, &pos);
    std::vector<PbStep> prog = pb_cmpl_slct(tree);
    PbSort s("QBN", com.depth, 0x2000, d.key_len, 4, d.level_of, d.levels, kMem);
    std::vector<uint8_t> e(d.key_len + 4u);
    a->key_no = 0;
    a->op = FM_OP_FIRST;
    fm_start(a);
    a->op = 0;
    a->rec.set(r);
    uint32_t ord = 0;
    while (fm_rdnxt(a)) {
      uint32_t id = rec::view<rec::U32>(r);
      bool take = pb_run_slct(prog, [&](int line) {
        if (line == 0) return r[4] > 'C';
        if (line == 1) return (r[17] & 0x80) == 0;
        return (id & 1) == 0;
      });
      if (!take) continue;
      pb_enc_key(d, r, ++ord, e.data());
      std::memcpy(e.data() + d.key_len, r, 4);
      if (!s.add(e.data())) std::exit(1);
    }
    if (!s.finish()) std::exit(1);
    double t2 = now();
    PbPtr p;
    uint64_t got = 0;
    auto* key = static_cast<uint8_t*>(MM_ALLOC(pool, 4));
    while (s.next(&p)) {
      std::memcpy(key, p.id, 4);
      a->key.set(key);
      a->key_len = 4;
      a->key_no = 0;
      a->op = uint16_t(FM_OP_KEY | FM_OP_EQUAL);
      if (!fm_read(a)) std::exit(1);
      ++got;
    }
    double t3 = now();
    std::printf("%.3f %.3f %.3f %llu %ld %ld\n", build, t2 - t1, t3 - t2, (unsigned long long)got, base,
                peak_kb());
  });
  return rc == 1 ? 0 : 1;
}

// The same keys as lines: alpha, then the key's other bytes in hex, the id.
void write_lines(uint64_t n, const std::string& path) {
  PbKeyDef d = key_def();
  FILE* f = std::fopen(path.c_str(), "w");
  Gen g;
  uint8_t r[14];
  std::vector<uint8_t> k(d.key_len);
  static const char* hx = "0123456789ABCDEF";
  std::string line;
  for (uint64_t i = 0; i < n; ++i) {
    g.rec(r);
    pb_enc_key(d, r, uint32_t(i + 1), k.data());
    line.assign(reinterpret_cast<char*>(k.data()), 10);
    for (size_t j = 10; j < d.key_len; ++j) line += hx[k[j] >> 4], line += hx[k[j] & 15];
    for (int j = 0; j < 4; ++j) line += hx[(i >> (28 - 4 * j)) & 15];
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), f);
  }
  std::fclose(f);
}

// Runs a command as a child: wall seconds and the child's peak RSS (KiB).
bool run(const std::vector<std::string>& argv, double* secs, long* kb, std::string* out = nullptr) {
  int fds[2];
  if (pipe(fds)) return false;
  double t0 = now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    std::vector<char*> a;
    for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    execvp(a[0], a.data());
    _exit(127);
  }
  close(fds[1]);
  std::string text;
  char buf[4096];
  ssize_t m;
  while ((m = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, size_t(m));
  close(fds[0]);
  int st = 0;
  rusage u{};
  wait4(pid, &st, 0, &u);
  *secs = now() - t0;
  *kb = u.ru_maxrss;
  if (out) *out = text;
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && !std::strcmp(argv[1], "engine")) return engine(std::strtoull(argv[2], nullptr, 10), argv[3]);
  if (argc == 4 && !std::strcmp(argv[1], "query")) return query(std::strtoull(argv[2], nullptr, 10), argv[3]);
  if (argc == 4 && !std::strcmp(argv[1], "stream")) return stream(std::strtoull(argv[2], nullptr, 10), argv[3]);
  std::vector<uint64_t> sizes = {1000000, 10000000};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  }
  const char* t = std::getenv("TMPDIR");
  std::string dir = std::string(t && *t ? t : "/tmp") + "/quvo-bench-pb-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  std::printf("%-10s %-22s %9s %12s %14s %s\n", "elements", "run", "seconds", "peak RSS MiB", "over base MiB",
              "notes");
  double sort_1m = 0, sort1_1m = 0;   // the anchor: sort of 1M keys
  for (uint64_t n : sizes) {
    double es;
    long ekb;
    std::string out;
    if (!run({argv[0], "engine", std::to_string(n), dir}, &es, &ekb, &out)) {
      std::fprintf(stderr, "engine run failed\n");
      return 1;
    }
    double secs;
    long base, peak;
    unsigned runs, passes;
    std::sscanf(out.c_str(), "%lf %ld %ld %u %u", &secs, &base, &peak, &runs, &passes);
    std::printf("%-10llu %-22s %9.3f %12.1f %14.1f runs %u, merge passes %u\n", (unsigned long long)n,
                "engine", secs, peak / 1024.0, (peak - base) / 1024.0, runs, passes);
    std::string in = dir + "/keys.txt";
    write_lines(n, in);
    for (bool one : {false, true}) {
      std::vector<std::string> cmd = {"env", "LC_ALL=C", "sort", "-S", "64M", "-T", dir, "-o", dir + "/sorted.txt"};
      if (one) cmd.push_back("--parallel=1");
      cmd.push_back(in);
      double s;
      long kb;
      if (!run(cmd, &s, &kb)) {
        std::fprintf(stderr, "sort failed\n");
        return 1;
      }
      if (n == 1000000) (one ? sort1_1m : sort_1m) = s;
      std::printf("%-10llu %-22s %9.3f %12.1f %14s ratio sort/engine %.2f\n", (unsigned long long)n,
                  one ? "sort --parallel=1" : "sort (default threads)", s, kb / 1024.0, "-", s / secs);
    }
    std::filesystem::remove(in);
    std::filesystem::remove(dir + "/sorted.txt");
  }
  // The whole query over a native file of 1M records.
  {
    double secs;
    long kb;
    std::string out;
    if (!run({argv[0], "query", "1000000", dir}, &secs, &kb, &out)) {
      std::fprintf(stderr, "query run failed\n");
      return 1;
    }
    double build, sel, del;
    unsigned long long got;
    long base, peak;
    std::sscanf(out.c_str(), "%lf %lf %lf %llu %ld %ld", &build, &sel, &del, &got, &base, &peak);
    std::printf("query over a native file of 1000000 records (built in %.3f s): read, select and sort %.3f s, "
                "%llu records delivered in order %.3f s; peak RSS %.1f MiB, %.1f over base\n",
                build, sel, got, del, peak / 1024.0, (peak - base) / 1024.0);
    if (!run({argv[0], "stream", "1000000", dir}, &secs, &kb, &out)) {
      std::fprintf(stderr, "stream run failed\n");
      return 1;
    }
    unsigned long long events;
    double rd;
    std::sscanf(out.c_str(), "%lf %lf %llu %llu %ld %ld", &build, &rd, &got, &events, &base, &peak);
    std::printf("the same query through a stream (level events): %llu records and %llu events "
                "in %.3f s; peak RSS %.1f MiB, %.1f over base\n",
                got, events, rd, peak / 1024.0, (peak - base) / 1024.0);
    if (sort_1m > 0)
      std::printf("  against sort of 1M keys: %.3f s (default threads), %.3f s (--parallel=1); "
                  "stream / sort %.2f and %.2f\n",
                  sort_1m, sort1_1m, rd / sort_1m, rd / sort1_1m);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
