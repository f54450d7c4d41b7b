// Value conversion: a packed amount to display text and back under an edit
// mask, against the C library's formatting and reading of the same values
// (snprintf with grouping left out, strtod) as anchors.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"

namespace {

struct Setup {
  Setup() {
    bi_init_com();
    DElem e;
    INIT_NUM_DELEM(&e, 4, 0);
    e.type = 8;
    e.length = 8;
    e.digits = 11;
    e.decimals = 2;
    e.mask.set("ZZZ,ZZZ,ZZZ,ZZ9.99-");
    cv_get_cnv(&b, &e, "BEN", "01");
    pool = mm_create_pool(nullptr, com.base_scope, 0);
    stored = static_cast<uint8_t*>(MM_ALLOC(pool, 8));
    display = static_cast<char*>(MM_ALLOC(pool, 32));
    cv_set_addr(&b, stored, display);
    std::mt19937_64 rng(1);
    for (int i = 0; i < 1024; ++i) {
      long long v = (long long)(rng() % 100000000000000ULL) - 50000000000000LL;
      values.push_back(v);
      char t[32];
      std::snprintf(t, sizeof t, "%lld.%02lld", v / 100, (v < 0 ? -v : v) % 100);
      texts.emplace_back(t);
    }
  }
  CvBlock b;
  MmPool pool;
  uint8_t* stored;
  char* display;
  std::vector<long long> values;
  std::vector<std::string> texts;
};
Setup& S() {
  static Setup s;
  return s;
}

void BM_CvItoePacked(benchmark::State& st) {
  Setup& s = S();
  uint32_t msg;
  size_t i = 0;
  for (auto _ : st) {
    cv_num_put(8, s.stored, 8, 11, 2, true, CvNum{s.values[i++ & 1023], 2}, &msg);
    benchmark::DoNotOptimize(cv_itoe(&s.b));
  }
}
BENCHMARK(BM_CvItoePacked);

void BM_CvEtoiPacked(benchmark::State& st) {
  Setup& s = S();
  size_t i = 0;
  for (auto _ : st) {
    const std::string& t = s.texts[i++ & 1023];
    std::memset(s.display, ' ', s.b.item->ext_len);
    std::memcpy(s.display, t.data(), t.size());
    benchmark::DoNotOptimize(cv_etoi(&s.b));
  }
}
BENCHMARK(BM_CvEtoiPacked);

// Anchors: the C library on the same values.
void BM_Snprintf(benchmark::State& st) {
  Setup& s = S();
  char out[32];
  size_t i = 0;
  for (auto _ : st) {
    long long v = s.values[i++ & 1023];
    benchmark::DoNotOptimize(std::snprintf(out, sizeof out, "%15.2f", double(v) / 100));
  }
}
BENCHMARK(BM_Snprintf);

void BM_Strtod(benchmark::State& st) {
  Setup& s = S();
  size_t i = 0;
  for (auto _ : st) benchmark::DoNotOptimize(std::strtod(s.texts[i++ & 1023].c_str(), nullptr));
}
BENCHMARK(BM_Strtod);

}  // namespace

BENCHMARK_MAIN();
