// Packed-decimal arithmetic against its anchors, on the same values:
//   native  - __int128 arithmetic with the same overflow check (the limit)
//   dec128  - std::decimal::decimal128 (libstdc++ software decimal)
//   gmp     - GMP integers (mpz_t)
// Every benchmark computes out[i] = a[i] op b[i] over 1024 pairs; the time
// per item is the time of one operation. Add/sub values have up to 14 digits
// and mixed signs; multiply values have 8 and 7 digits, so every result fits
// an 8-byte (15-digit) packed field.
#include <benchmark/benchmark.h>
#include <gmp.h>

#include <cstdint>
#include <cstring>
#include <decimal/decimal>
#include <random>
#include <vector>

#include "foundation/bi.h"
#include "foundation/pd.h"

namespace {

using i128 = __int128;
constexpr int kN = 1024;
constexpr i128 kLimit15 = 1000000000000000LL;  // an 8-byte field holds 15 digits

struct Data {
  std::vector<int64_t> a, b;
  std::vector<uint8_t> pa, pb, pa16, pb16;  // 8- and 16-byte packed
  std::vector<i128> na, nb;
  std::vector<std::decimal::decimal128> da, db;
  std::vector<__mpz_struct> ga, gb;
};

int64_t rand_digits(std::mt19937_64& rng, int digits) {
  int64_t v = 0;
  for (int i = 0; i < digits; ++i) v = v * 10 + int64_t(rng() % 10);
  return (rng() & 1) ? -v : v;
}

Data make(int adigits, int bdigits) {
  bi_init_com();
  std::mt19937_64 rng(42);
  Data d;
  for (int i = 0; i < kN; ++i) {
    d.a.push_back(rand_digits(rng, 1 + int(rng() % adigits)));
    d.b.push_back(rand_digits(rng, 1 + int(rng() % bdigits)));
  }
  d.pa.resize(8 * kN);
  d.pb.resize(8 * kN);
  d.pa16.resize(16 * kN);
  d.pb16.resize(16 * kN);
  d.ga.resize(kN);
  d.gb.resize(kN);
  for (int i = 0; i < kN; ++i) {
    // Values up to 14 digits do not fit pd_cvp's 32 bits: build them from text.
    char t[32];
    PdCva c{&d.pa[8 * i], 8, 0};
    pd_cva(t, std::snprintf(t, sizeof t, "%lld", (long long)d.a[i]), '.', &c);
    c = {&d.pb[8 * i], 8, 0};
    pd_cva(t, std::snprintf(t, sizeof t, "%lld", (long long)d.b[i]), '.', &c);
    pd_set(&d.pa16[16 * i], 16, &d.pa[8 * i], 8);
    pd_set(&d.pb16[16 * i], 16, &d.pb[8 * i], 8);
    d.na.push_back(d.a[i]);
    d.nb.push_back(d.b[i]);
    d.da.emplace_back((long long)d.a[i]);
    d.db.emplace_back((long long)d.b[i]);
    mpz_init_set_si(&d.ga[i], d.a[i]);
    mpz_init_set_si(&d.gb[i], d.b[i]);
  }
  return d;
}

Data& add_data() {
  static Data d = make(14, 14);
  return d;
}
Data& mul_data() {
  static Data d = make(8, 7);
  return d;
}

enum Kind { kAdd, kMul };
Data& data(Kind k) { return k == kAdd ? add_data() : mul_data(); }

// ------------------------------------------------------------ packed ---
template <int (*Fn)(void*, int, const void*, int), int Len>
void packed(benchmark::State& st, Kind k) {
  Data& d = data(k);
  const uint8_t* A = Len == 8 ? d.pa.data() : d.pa16.data();
  const uint8_t* B = Len == 8 ? d.pb.data() : d.pb16.data();
  std::vector<uint8_t> out(Len * kN);
  // Byte stores may alias a vector's own pointer: the loops keep the data
  // pointers in locals, as the loops of the anchors keep theirs.
  uint8_t* const O = out.data();
  int ok = 0;
  for (auto _ : st) {
    for (int i = 0; i < kN; ++i) {
      uint8_t* o = O + size_t(Len) * i;
      std::memcpy(o, A + Len * i, Len);
      ok += Fn(o, Len, B + Len * i, Len);
    }
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
  }
  if (ok != int(st.iterations()) * kN) st.SkipWithError("a packed operation failed");
  st.SetItemsProcessed(int64_t(st.iterations()) * kN);
}

void BM_pd_add_8(benchmark::State& st) { packed<pd_add, 8>(st, kAdd); }
void BM_pd_mul_8(benchmark::State& st) { packed<pd_mul, 8>(st, kMul); }
void BM_pd_add_16(benchmark::State& st) { packed<pd_add, 16>(st, kAdd); }
void BM_pd_mul_16(benchmark::State& st) { packed<pd_mul, 16>(st, kMul); }

void BM_pd_fast_add(benchmark::State& st) {
  Data& d = add_data();
  std::vector<uint8_t> out(8 * kN);
  uint8_t* const O = out.data();
  const uint8_t* A = d.pa.data();
  const uint8_t* B = d.pb.data();
  int ok = 0;
  for (auto _ : st) {
    for (int i = 0; i < kN; ++i) {
      std::memcpy(O + 8 * i, A + 8 * i, 8);
      ok += pd_fast_add(O + 8 * i, B + 8 * i);
    }
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(int64_t(st.iterations()) * kN);
}

void BM_pd_div_16(benchmark::State& st) {
  Data& d = mul_data();
  std::vector<uint8_t> out(16 * kN);
  uint8_t* const O = out.data();
  const uint8_t* A = d.pa16.data();
  const uint8_t* B = d.pb16.data();
  int ok = 0;
  for (auto _ : st) {
    for (int i = 0; i < kN; ++i) {
      std::memcpy(O + 16 * i, A + 16 * i, 16);
      ok += pd_div(O + 16 * i, 16, B + 16 * i, 16, 4, 1);
    }
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(int64_t(st.iterations()) * kN);
}

// ------------------------------------------------------------ native ---
template <Kind K>
void native(benchmark::State& st) {
  Data& d = data(K);
  std::vector<i128> out(kN);
  int ok = 0;
  for (auto _ : st) {
    for (int i = 0; i < kN; ++i) {
      i128 r = K == kAdd ? d.na[i] + d.nb[i] : d.na[i] * d.nb[i];
      bool fits = r < kLimit15 && r > -kLimit15;
      ok += fits;
      out[i] = fits ? r : out[i];
    }
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(int64_t(st.iterations()) * kN);
}
void BM_native_add(benchmark::State& st) { native<kAdd>(st); }
void BM_native_mul(benchmark::State& st) { native<kMul>(st); }

// ---------------------------------------------------------- decimal128 ---
template <Kind K>
void dec128(benchmark::State& st) {
  Data& d = data(K);
  std::vector<std::decimal::decimal128> out(kN);
  for (auto _ : st) {
    for (int i = 0; i < kN; ++i) out[i] = K == kAdd ? d.da[i] + d.db[i] : d.da[i] * d.db[i];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(int64_t(st.iterations()) * kN);
}
void BM_dec128_add(benchmark::State& st) { dec128<kAdd>(st); }
void BM_dec128_mul(benchmark::State& st) { dec128<kMul>(st); }

// ----------------------------------------------------------------- GMP ---
template <Kind K>
void gmp(benchmark::State& st) {
  Data& d = data(K);
  std::vector<__mpz_struct> out(kN);
  for (auto& o : out) mpz_init2(&o, 128);
  for (auto _ : st) {
    for (int i = 0; i < kN; ++i) {
      if (K == kAdd) mpz_add(&out[i], &d.ga[i], &d.gb[i]); else mpz_mul(&out[i], &d.ga[i], &d.gb[i]);
    }
    benchmark::ClobberMemory();
  }
  for (auto& o : out) mpz_clear(&o);
  st.SetItemsProcessed(int64_t(st.iterations()) * kN);
}
void BM_gmp_add(benchmark::State& st) { gmp<kAdd>(st); }
void BM_gmp_mul(benchmark::State& st) { gmp<kMul>(st); }

}  // namespace

BENCHMARK(BM_native_add);
BENCHMARK(BM_pd_add_8);
BENCHMARK(BM_pd_fast_add);
BENCHMARK(BM_dec128_add);
BENCHMARK(BM_gmp_add);
BENCHMARK(BM_pd_add_16);
BENCHMARK(BM_native_mul);
BENCHMARK(BM_pd_mul_8);
BENCHMARK(BM_dec128_mul);
BENCHMARK(BM_gmp_mul);
BENCHMARK(BM_pd_mul_16);
BENCHMARK(BM_pd_div_16);

BENCHMARK_MAIN();
