// Pool allocation against the system allocator: a burst of blocks of mixed
// sizes, then the pool destroyed (or every block freed); blocks freed and
// taken again.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "foundation/bi.h"
#include "foundation/mm.h"

namespace {
const std::vector<size_t>& sizes() {
  static std::vector<size_t> s = [] {
    std::vector<size_t> v;
    unsigned x = 12345;
    for (int i = 0; i < 1000; ++i) {
      x = x * 1103515245u + 12345u;
      v.push_back(8 + (x >> 16) % 500);
    }
    return v;
  }();
  return s;
}

void BM_PoolAllocDestroy(benchmark::State& st) {
  for (auto _ : st) {
    MmPool p = mm_create_pool(nullptr, 0, 0);
    for (size_t n : sizes()) benchmark::DoNotOptimize(MM_ALLOC(p, n));
    mm_destroy_pool(p);
  }
  st.SetItemsProcessed(st.iterations() * int64_t(sizes().size()));
}
BENCHMARK(BM_PoolAllocDestroy);

// Blocks freed and asked for again: every one comes back off its size's
// free list (against BM_MallocFree).
void BM_PoolFreeRealloc(benchmark::State& st) {
  MmPool p = mm_create_pool(nullptr, 0, 0);
  std::vector<void*> blocks;
  for (size_t n : sizes()) blocks.push_back(MM_ALLOC(p, n));
  for (auto _ : st) {
    for (void* q : blocks) mm_free(q);
    size_t i = 0;
    for (size_t n : sizes()) benchmark::DoNotOptimize(blocks[i++] = MM_ALLOC(p, n));
  }
  mm_destroy_pool(p);
  st.SetItemsProcessed(st.iterations() * int64_t(sizes().size()));
}
BENCHMARK(BM_PoolFreeRealloc);

void BM_MallocFree(benchmark::State& st) {
  std::vector<void*> blocks(sizes().size());
  for (auto _ : st) {
    size_t i = 0;
    for (size_t n : sizes()) {
      void* q = std::calloc(1, n);  // pool blocks are zero-filled too
      benchmark::DoNotOptimize(q);
      blocks[i++] = q;
    }
    for (void* q : blocks) std::free(q);
  }
  st.SetItemsProcessed(st.iterations() * int64_t(sizes().size()));
}
BENCHMARK(BM_MallocFree);
}  // namespace

int main(int argc, char** argv) {
  bi_init_com();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
