// Memory-resident files against std::map and a sorted std::vector: keyed
// writes, keyed reads and ordered scans of 1,000,000 records of 200 bytes
// with a unique 20-byte key. The vector is filled by appending and sorting
// once (inserting in order one by one would be quadratic).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"

namespace {

constexpr size_t kCount = 1000000;
constexpr size_t kRec = 200;
constexpr size_t kKey = 20;
using Record = std::array<uint8_t, kRec>;

const std::vector<std::string>& keys() {
  static std::vector<std::string> k = [] {
    std::vector<std::string> v(kCount);
    std::vector<uint32_t> ids(kCount);
    for (size_t i = 0; i < kCount; ++i) ids[i] = uint32_t(i * 7919 % 10000019);
    std::mt19937 rng(42);
    std::shuffle(ids.begin(), ids.end(), rng);
    char b[32];
    for (size_t i = 0; i < kCount; ++i) {
      std::snprintf(b, sizeof b, "K%019u", ids[i]);
      v[i] = std::string(b, kKey);
    }
    return v;
  }();
  return k;
}
const std::vector<uint32_t>& probe_order() {
  static std::vector<uint32_t> p = [] {
    std::vector<uint32_t> v(kCount);
    for (size_t i = 0; i < kCount; ++i) v[i] = uint32_t(i);
    std::mt19937 rng(7);
    std::shuffle(v.begin(), v.end(), rng);
    return v;
  }();
  return p;
}

MmPool pool() {
  static MmPool p = [] {
    bi_init_com();
    fms_init();
    return mm_create_pool(" BENCH     ", 0, 0);
  }();
  return p;
}

struct MemFile {
  FmFdb fdb;
  FmArb* a = nullptr;
  uint8_t* buf = nullptr;
};

MemFile create_file() {
  MemFile m;
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb)));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb)));
  init_sdb_func(sdb, 1, 0, kKey, FM_SEG_ALPHA, '+');
  INIT_KDB(kdb, 0, '+', 8, sdb, 1);
  INIT_FDB(&m.fdb, FM_CLASS_MEMORY, kRec, 0, kdb, 1);
  INIT_UNIQUE_PATH(&m.fdb, "BM", "MF", 1);
  if (!FM_CREATE(&m.fdb, 0, kCount, FM_OPT_BASE, 15, 15)) std::abort();
  m.a = m.fdb.handle.get();
  m.buf = static_cast<uint8_t*>(MM_ALLOC(pool(), kRec));
  std::memset(m.buf, 'x', kRec);
  m.a->rec.set(m.buf);
  return m;
}

void fill(MemFile& m) {
  const auto& k = keys();
  for (size_t i = 0; i < kCount; ++i) {
    std::memcpy(m.buf, k[i].data(), kKey);
    m.a->op = 0;
    if (!fm_write(m.a)) std::abort();
  }
}

MemFile& filled() {
  static MemFile m = [] {
    MemFile f = create_file();
    fill(f);
    return f;
  }();
  return m;
}

// ----------------------------------------------------------- memory file --
void BM_MemFile_Write(benchmark::State& st) {
  keys();
  for (auto _ : st) {
    MemFile m = create_file();
    fill(m);
    st.PauseTiming();
    FM_CLOSE(m.a, FM_CL_SCRATCH);
    st.ResumeTiming();
  }
  st.SetItemsProcessed(int64_t(st.iterations() * kCount));
}

void BM_MemFile_Read(benchmark::State& st) {
  MemFile& m = filled();
  const auto& k = keys();
  const auto& order = probe_order();
  for (auto _ : st) {
    for (uint32_t i : order) {
      std::memcpy(m.buf, k[i].data(), kKey);
      PROTO_FULL(m.a, 0, m.buf);
      m.a->op = FM_OP_EQUAL;
      if (!fm_read(m.a)) std::abort();
    }
    benchmark::DoNotOptimize(m.buf[100]);
  }
  st.SetItemsProcessed(int64_t(st.iterations() * kCount));
}

void BM_MemFile_Scan(benchmark::State& st) {
  MemFile& m = filled();
  for (auto _ : st) {
    m.a->key_no = 0;
    m.a->op = FM_OP_FIRST;
    fm_start(m.a);
    m.a->op = 0;
    size_t n = 0;
    uint64_t sum = 0;
    while (fm_rdnxt(m.a)) {
      ++n;
      sum += m.buf[sum % kRec];
    }
    if (n != kCount) std::abort();
    benchmark::DoNotOptimize(sum);
  }
  st.SetItemsProcessed(int64_t(st.iterations() * kCount));
}

// -------------------------------------------------------------- std::map --
std::map<std::string, Record>& filled_map() {
  static std::map<std::string, Record> m = [] {
    std::map<std::string, Record> r;
    Record rec;
    rec.fill('x');
    for (const auto& k : keys()) {
      std::memcpy(rec.data(), k.data(), kKey);
      r.emplace(k, rec);
    }
    return r;
  }();
  return m;
}

void BM_Map_Write(benchmark::State& st) {
  keys();
  Record rec;
  rec.fill('x');
  for (auto _ : st) {
    std::map<std::string, Record> m;
    for (const auto& k : keys()) {
      std::memcpy(rec.data(), k.data(), kKey);
      m.emplace(k, rec);
    }
    st.PauseTiming();
    m.clear();
    st.ResumeTiming();
  }
  st.SetItemsProcessed(int64_t(st.iterations() * kCount));
}

void BM_Map_Read(benchmark::State& st) {
  auto& m = filled_map();
  const auto& k = keys();
  Record out{};
  for (auto _ : st) {
    for (uint32_t i : probe_order()) {
      auto it = m.find(k[i]);
      if (it == m.end()) std::abort();
      std::memcpy(out.data(), it->second.data(), kRec);
    }
    benchmark::DoNotOptimize(out[100]);
  }
  st.SetItemsProcessed(int64_t(st.iterations() * kCount));
}

void BM_Map_Scan(benchmark::State& st) {
  auto& m = filled_map();
  Record out{};
  for (auto _ : st) {
    uint64_t sum = 0;
    for (const auto& [key, rec] : m) {
      std::memcpy(out.data(), rec.data(), kRec);
      sum += out[sum % kRec];
    }
    benchmark::DoNotOptimize(sum);
  }
  st.SetItemsProcessed(int64_t(st.iterations() * kCount));
}

// -------------------------------------------------------- sorted vector --
using Entry = std::pair<std::array<char, kKey>, Record>;
bool less(const Entry& a, const Entry& b) { return std::memcmp(a.first.data(), b.first.data(), kKey) < 0; }

std::vector<Entry>& filled_vec() {
  static std::vector<Entry> v = [] {
    std::vector<Entry> r;
    r.reserve(kCount);
    Entry e;
    e.second.fill('x');
    for (const auto& k : keys()) {
      std::memcpy(e.first.data(), k.data(), kKey);
      std::memcpy(e.second.data(), k.data(), kKey);
      r.push_back(e);
    }
    std::sort(r.begin(), r.end(), less);
    return r;
  }();
  return v;
}

void BM_SortedVector_Write(benchmark::State& st) {
  keys();
  Entry e;
  e.second.fill('x');
  for (auto _ : st) {
    std::vector<Entry> v;
    for (const auto& k : keys()) {
      std::memcpy(e.first.data(), k.data(), kKey);
      std::memcpy(e.second.data(), k.data(), kKey);
      v.push_back(e);
    }
    std::sort(v.begin(), v.end(), less);
    benchmark::DoNotOptimize(v.data());
  }
  st.SetItemsProcessed(int64_t(st.iterations() * kCount));
}

void BM_SortedVector_Read(benchmark::State& st) {
  auto& v = filled_vec();
  const auto& k = keys();
  Record out{};
  Entry probe;
  for (auto _ : st) {
    for (uint32_t i : probe_order()) {
      std::memcpy(probe.first.data(), k[i].data(), kKey);
      auto it = std::lower_bound(v.begin(), v.end(), probe, less);
      if (it == v.end() || std::memcmp(it->first.data(), probe.first.data(), kKey) != 0) std::abort();
      std::memcpy(out.data(), it->second.data(), kRec);
    }
    benchmark::DoNotOptimize(out[100]);
  }
  st.SetItemsProcessed(int64_t(st.iterations() * kCount));
}

void BM_SortedVector_Scan(benchmark::State& st) {
  auto& v = filled_vec();
  Record out{};
  for (auto _ : st) {
    uint64_t sum = 0;
    for (const auto& e : v) {
      std::memcpy(out.data(), e.second.data(), kRec);
      sum += out[sum % kRec];
    }
    benchmark::DoNotOptimize(sum);
  }
  st.SetItemsProcessed(int64_t(st.iterations() * kCount));
}

}  // namespace

BENCHMARK(BM_MemFile_Write)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Map_Write)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SortedVector_Write)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MemFile_Read)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Map_Read)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SortedVector_Read)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MemFile_Scan)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Map_Scan)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SortedVector_Scan)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
