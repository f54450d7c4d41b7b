// A query's sort and merge into the pointer file against `LC_ALL=C sort`,
// one run each, in the same memory (64 MiB):
//   engine  - elements of an alpha 10 and a signed binary 4 field, the
//             ordinal and a 4-byte id, keys built from records, sorted in
//             runs of QUVO_RUN_MEM and merged into the pointer file, which
//             is then read through
//   sort    - the same keys as fixed-width lines of a file, sorted by
//             `LC_ALL=C sort -S 64M` with its default threads and with
//             --parallel=1
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
#include "foundation/bi.h"
#include "foundation/ut.h"
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
    PbSort s("QBN", com.depth, 0x1000, d.key_len, 4, d.level_of, d.levels, kMem);
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
      std::printf("%-10llu %-22s %9.3f %12.1f %14s ratio sort/engine %.2f\n", (unsigned long long)n,
                  one ? "sort --parallel=1" : "sort (default threads)", s, kb / 1024.0, "-", s / secs);
    }
    std::filesystem::remove(in);
    std::filesystem::remove(dir + "/sorted.txt");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
