// Arena references and memory pools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/ut.h"
#include "support/syserr.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

TEST(Ref, RoundTripsAndNull) {
  struct Rec { Ref<int> a; Ref<char> b; };
  QV_RECORD(Rec, 8);
  MmPool p = mm_create_pool(" T_REF     ", 0, 0);
  int* x = static_cast<int*>(MM_ALLOC(p, sizeof(int)));
  Rec r{};
  EXPECT_FALSE(r.a);
  EXPECT_EQ(r.a.get(), nullptr);
  r.a.set(x);
  EXPECT_TRUE(r.a);
  EXPECT_EQ(r.a.get(), x);
  *r.a = 42;
  EXPECT_EQ(*x, 42);
  r.a.set(nullptr);
  EXPECT_EQ(r.a.raw(), 0u);
  // Stored little-endian in the 4 bytes of the slot.
  r.b.set(reinterpret_cast<char*>(x));
  uint32_t off = arena::offset_of(x);
  EXPECT_EQ(std::memcmp(&r.b, &off, 4), 0);
  mm_destroy_pool(p);
}

TEST(Ref, EdgesOfTheArena) {
  uint8_t* b = arena::base();
  // The first byte is the null reference; the last byte is reachable.
  EXPECT_FALSE(arena::contains(b));
  EXPECT_EQ(arena::offset_of(nullptr), 0u);
  EXPECT_TRUE(arena::contains(b + 1));
  EXPECT_TRUE(arena::contains(b + arena::kReserve - 1));
  EXPECT_FALSE(arena::contains(b + arena::kReserve));
  Ref<uint8_t> r;
  r.set(b + arena::kReserve - 1);
  EXPECT_EQ(r.raw(), 0xFFFFFFFFu);
  EXPECT_EQ(r.get(), b + arena::kReserve - 1);
  // The common block is in the arena, so records may refer to it.
  EXPECT_TRUE(arena::contains(&com));
}

TEST(RefDeath, RefusesForeignPointers) {
  int on_stack = 0;
  std::vector<int> heap(4);
  EXPECT_DEATH({ Ref<int> r; r.set(&on_stack); }, "outside the engine arena");
  EXPECT_DEATH({ Ref<int> r; r.set(heap.data()); }, "outside the engine arena");
}

TEST(Pool, FindOrCreateByNameAndScope) {
  MmPool a = mm_create_pool(" CV_POOL   ", 0, 0);
  MmPool b = mm_create_pool(" CV_POOL   ", 0, 0);
  MmPool c = mm_create_pool(" CV_POOL   ", 2, 0);
  MmPool d = mm_create_pool(nullptr, 0, 0);
  MmPool e = mm_create_pool(nullptr, 0, 0);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(d, e);  // anonymous pools are always new
  EXPECT_EQ(mm_pool_scope(c), 2);
  // A name shorter than 11 characters is the blank-padded name; only its
  // own characters are read (a short array: the sanitizer pass sees any
  // read past it).
  const char short_name[] = {' ', 'C', 'V', '_', 'P', 'O', 'O', 'L', '\0'};
  EXPECT_EQ(mm_create_pool(short_name, 0, 0), a);
  MmPool f = mm_create_pool(" CV", 0, 0);
  EXPECT_NE(f, a);
  EXPECT_EQ(mm_create_pool(" CV        ", 0, 0), f);
  // An empty name is a name (all blanks): never an anonymous pool's.
  size_t pools = mm_pool_count();
  MmPool h = mm_create_pool(nullptr, 9, 0);
  MmPool g = mm_create_pool("", 9, 0);
  EXPECT_NE(g, h);
  EXPECT_EQ(mm_create_pool("           ", 9, 0), g);
  EXPECT_EQ(mm_pool_count(), pools + 2);
  mm_destroy_pool(g);
  mm_destroy_pool(h);
  EXPECT_EQ(mm_pool_count(), pools);
  for (MmPool p : {a, c, d, e, f}) mm_destroy_pool(p);
  EXPECT_EQ(mm_pool_scope(a), -1);
}

// A name's pool found before and gone since is not taken for the pool that
// reuses its number under another name or scope.
TEST(Pool, ANameIsNotFoundThroughAGonePool) {
  MmPool a = mm_create_pool(" GONE", 0, 0);
  EXPECT_EQ(mm_create_pool(" GONE", 0, 0), a);
  mm_destroy_pool(a);
  MmPool b = mm_create_pool(" OTHER", 0, 0);   // the number comes back
  ASSERT_EQ(b, a);
  MmPool c = mm_create_pool(" GONE", 0, 0);
  EXPECT_NE(c, b);
  mm_destroy_pool(c);
  MmPool d = mm_create_pool(" GONE", 3, 0);     // same number, another scope
  ASSERT_EQ(d, c);
  EXPECT_NE(mm_create_pool(" GONE", 0, 0), d);
  EXPECT_EQ(mm_create_pool(" GONE", 3, 0), d);
  for (MmPool p : {b, d, mm_create_pool(" GONE", 0, 0)}) mm_destroy_pool(p);
}

// A destroyed pool's object serves a later pool as a new one (four are
// kept for that, a fifth is deleted): nothing of its name, scope, chunks or
// freed blocks is seen through the later pool.
TEST(Pool, ALaterPoolSeesNothingOfADestroyedOne) {
  SysErrCapture cap(SysErrAnswer::Continue);
  std::vector<MmPool> held;   // takes the objects kept before
  for (int i = 0; i < 8; ++i) held.push_back(mm_create_pool(nullptr, 0, 0));
  std::vector<MmPool> gone;
  for (int i = 1; i <= 5; ++i) {
    MmPool p = mm_create_pool((" IDLE" + std::to_string(i)).c_str(), i, 0);
    for (size_t n : {100, 40000}) {
      void* first = MM_ALLOC(p, n);
      ASSERT_NE(MM_ALLOC(p, n), nullptr);   // kept: the first goes to a free list
      ASSERT_EQ(mm_free(first), 1);
    }
    gone.push_back(p);
  }
  for (MmPool p : gone) mm_destroy_pool(p);
  std::vector<MmPool> later;
  for (int i = 1; i <= 5; ++i) {
    MmPool p = mm_create_pool(nullptr, 0, 0);
    later.push_back(p);
    EXPECT_EQ(mm_pool_scope(p), 0);
    EXPECT_EQ(mm_pool_live(p), 0u);
    std::vector<uint8_t*> got;
    for (size_t n : {100, 100, 40000}) {
      auto* q = static_cast<uint8_t*>(MM_ALLOC(p, n));
      ASSERT_NE(q, nullptr);
      for (size_t k = 0; k < n; ++k) ASSERT_EQ(q[k], 0) << i << " " << n;
      EXPECT_EQ(std::count(got.begin(), got.end(), q), 0) << i << " " << n;
      got.push_back(q);
    }
    EXPECT_EQ(mm_pool_live(p), 3u);
    EXPECT_EQ(mm_check_pool(p), 0);
  }
  MmPool named = mm_create_pool(" IDLE1", 1, 0);   // a new pool of the old name
  EXPECT_EQ(std::count(later.begin(), later.end(), named), 0);
  EXPECT_EQ(mm_pool_live(named), 0u);
  later.push_back(named);
  for (MmPool p : later) mm_destroy_pool(p);
  for (MmPool p : held) mm_destroy_pool(p);
  EXPECT_EQ(cap.count(), 0u) << cap.last();
}

TEST(Pool, BlocksAreZeroedDistinctAndReused) {
  MmPool p = mm_create_pool(nullptr, 0, 0);
  std::vector<uint8_t*> blocks;
  for (size_t n : {1, 3, 16, 100, 5000, 70000, 1 << 20}) {
    auto* q = static_cast<uint8_t*>(MM_ALLOC(p, n));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(q) % 16, 0u);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(q[i], 0) << n;
    std::memset(q, 0xAB, n);
    blocks.push_back(q);
  }
  EXPECT_EQ(mm_check_pool(p), 0);
  EXPECT_EQ(mm_pool_live(p), 7u);
  // A freed block is handed out again, zeroed.
  ASSERT_EQ(mm_free(blocks[3]), 1);
  EXPECT_EQ(mm_pool_live(p), 6u);
  auto* again = static_cast<uint8_t*>(MM_ALLOC(p, 100));
  EXPECT_EQ(mm_pool_live(p), 7u);
  EXPECT_EQ(again, blocks[3]);
  EXPECT_EQ(again[0], 0);
  // Arrays round each element up to 4 bytes; strings fill their descriptor.
  auto* arr = static_cast<uint8_t*>(MM_ALLOC_ARRAY(p, 5, 3));
  std::memset(arr, 1, 24);  // 3 elements of 8 bytes fit without damage
  EXPECT_EQ(mm_check_pool(p), 0);
  Tdesc d{};
  char* s = MM_ALLOC_STR(p, d, 30);
  EXPECT_EQ(d.len, 30);
  EXPECT_EQ(d.text.get(), s);
  // An empty text still refers to a block of its own.
  s = MM_ALLOC_STR(p, d, 0);
  EXPECT_NE(s, nullptr);
  EXPECT_EQ(d.len, 0);
  EXPECT_EQ(d.text.get(), s);
  mm_destroy_pool(p);
}

// Freed blocks come back by their whole size (header, data and guard bytes
// in 16-byte steps), the last freed first, against a model of a stack per
// size; sizes on both sides of 4,096 whole bytes, where the pool keeps its
// free lists apart.
TEST(Pool, FreedBlocksComeBackBySizeAgainstAModel) {
  MmPool p = mm_create_pool(nullptr, 0, 0);
  auto whole = [](size_t n) { return (16 + n + 8 + 15) & ~size_t(15); };
  // 4,072 bytes: 4,096 whole, the largest of the small lists; 4,073: 4,112.
  const size_t sizes[] = {1, 8, 9, 24, 25, 100, 4056, 4057, 4072, 4073, 4088, 4089, 9000};
  std::map<size_t, std::vector<uint8_t*>> freed;   // whole size -> freed blocks, last on top
  std::vector<std::pair<uint8_t*, size_t>> live;
  std::mt19937 rng(7);
  for (int step = 0; step < 4000; ++step) {
    if (live.empty() || rng() % 2) {
      size_t n = sizes[rng() % std::size(sizes)];
      auto* q = static_cast<uint8_t*>(MM_ALLOC(p, n));
      ASSERT_NE(q, nullptr);
      auto& stack = freed[whole(n)];
      if (!stack.empty()) {
        ASSERT_EQ(q, stack.back()) << n;
        stack.pop_back();
      }
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(q[i], 0) << n;
      std::memset(q, 0x5A, n);
      live.emplace_back(q, n);
    } else {
      size_t i = rng() % live.size();
      ASSERT_EQ(mm_free(live[i].first), 1);
      freed[whole(live[i].second)].push_back(live[i].first);
      live[i] = live.back();
      live.pop_back();
    }
  }
  EXPECT_EQ(mm_check_pool(p), 0);
  EXPECT_EQ(mm_pool_live(p), live.size());
  mm_destroy_pool(p);
}

// Every guard byte is checked, whatever the number of them (8 to 23).
TEST(Pool, EachGuardByteIsChecked) {
  SysErrCapture cap(SysErrAnswer::Continue);
  MmPool p = mm_create_pool(nullptr, 0, 0);
  for (size_t n = 1; n <= 16; ++n) {
    auto* q = static_cast<uint8_t*>(MM_ALLOC(p, n));
    size_t guard = ((16 + n + 8 + 15) & ~size_t(15)) - 16 - n;
    q[n - 1] = 0xFD;   // the last byte of the block is the caller's
    EXPECT_EQ(mm_check_pool(p), 0) << n;
    // The guard damaged knowingly (the check poisons it again).
    auto put = [&](size_t i, uint8_t v) {
#if defined(__SANITIZE_ADDRESS__)
      ASAN_UNPOISON_MEMORY_REGION(q + n, guard);
#endif
      q[n + i] = v;
    };
    for (size_t i = 0; i < guard; ++i) {
      put(i, 0);
      EXPECT_EQ(mm_check_pool(p), 1) << n << " " << i;
      put(i, 0xFD);
    }
    EXPECT_EQ(mm_free(q), 1);
  }
  mm_destroy_pool(p);
}

TEST(Pool, GrowsTheArenaAndGivesItBack) {
  size_t before = arena::in_use();
  MmPool p = mm_create_pool(nullptr, 0, 0);
  for (int i = 0; i < 64; ++i) {
    ASSERT_NE(MM_ALLOC(p, 1 << 20), nullptr);
    ASSERT_NE(MM_ALLOC(p, 4000), nullptr);   // carved from the pool's 64 KiB chunks
  }
  EXPECT_GE(arena::in_use(), before + (64u << 20) + 64 * 4000);
  mm_destroy_pool(p);
  EXPECT_EQ(arena::in_use(), before);
  // Pools made and destroyed over and over, with a large block and then a
  // smaller one (sizes no other pool asks for), take what was given back:
  // the arena stops growing.
  auto cycle = [] {
    for (size_t n : {3000000, 1500000}) {
      MmPool q = mm_create_pool(nullptr, 0, 0);
      ASSERT_NE(MM_ALLOC(q, n), nullptr);
      mm_destroy_pool(q);
    }
  };
  cycle();
  size_t committed = arena::committed();
  for (int i = 0; i < 20; ++i) cycle();
  EXPECT_EQ(arena::committed(), committed);
}

// The arena is used to its very last page and not one page further; a pool
// then says it has no memory, and a chunk given back is taken again. (In a
// child process, which may use up its own arena. Its pages are reserved,
// never touched; a host that charges every writable page at once cannot
// run it.)
namespace {
std::string fill_the_arena() {
  SysErrCapture cap(SysErrAnswer::Continue);
  uint8_t* end = arena::base() + arena::kReserve;
  uint8_t* last = nullptr;
  size_t last_size = 0;
  for (size_t size = size_t(1) << 31; size >= 4096; size /= 2)
    for (int n = 0; n < 1000; ++n) {
      auto* c = static_cast<uint8_t*>(arena::alloc_chunk(size));
      if (!c) break;
      if (c + size > end) return "a chunk past the arena's end";
      if (!last || c > last) last = c, last_size = size;
    }
  if (last + last_size != end) return "the last page is not handed out";
  if (arena::alloc_chunk(4096)) return "a page past the end";
  end[-1] = 1;
  MmPool p = mm_create_pool(nullptr, 0, 0);
  if (MM_ALLOC(p, 10) || MM_ALLOC(p, 100000) || cap.last() != "mm_alloc() - out of memory")
    return "no memory, not said: " + cap.last();
  arena::free_chunk(last, last_size);
  if (arena::alloc_chunk(last_size) != last) return "a chunk given back is not taken again";
  return "full";
}
}  // namespace

TEST(ArenaDeath, FillsToItsLastPageAndNoFurther) {
  if (std::FILE* f = std::fopen("/proc/sys/vm/overcommit_memory", "r")) {
    int mode = std::fgetc(f);
    std::fclose(f);
    if (mode == '2') GTEST_SKIP() << "the host does not overcommit: 4 GiB would be charged";
  }
  EXPECT_EXIT((std::fputs(fill_the_arena().c_str(), stderr), std::_Exit(0)), ::testing::ExitedWithCode(0), "^full$");
}

// Ending a scope destroys the pools of that scope and of deeper ones.
TEST(Pool, AScopeTakesItsPoolsAndDeeperOnes) {
  MmPool outer = mm_create_pool(nullptr, 1, 0);
  MmPool own = mm_create_pool(nullptr, 2, 0);
  MmPool deeper = mm_create_pool(" DEEPER", 3, 0);
  mm_release_scope(2);
  EXPECT_EQ(mm_pool_scope(own), -1);
  EXPECT_EQ(mm_pool_scope(deeper), -1);
  EXPECT_EQ(mm_pool_scope(outer), 1);
  mm_destroy_pool(outer);
}

TEST(Pool, ErrorsAreSystemErrors) {
  SysErrCapture cap(SysErrAnswer::Continue);
  MmPool p = mm_create_pool(nullptr, 0, 0);
  EXPECT_EQ(MM_ALLOC(p, 0), nullptr);
  EXPECT_EQ(cap.last(), "mm_alloc() - zero bytes requested");
  EXPECT_EQ(MM_ALLOC(0, 8), nullptr);
  EXPECT_EQ(cap.last(), "mm_alloc() - no pool specified");
  EXPECT_EQ(MM_ALLOC(987654, 8), nullptr);
  EXPECT_EQ(cap.last(), "mm_alloc() - invalid pool id");

  auto* q = static_cast<uint8_t*>(MM_ALLOC(p, 10));
  EXPECT_EQ(mm_free(q), 1);
  EXPECT_EQ(mm_free(q), 0);
  EXPECT_EQ(cap.last(), "mm_free() - attempting to free freed memory");

  auto* r = static_cast<uint8_t*>(MM_ALLOC(p, 10));
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer stops an overrun where it happens...
  EXPECT_DEATH(r[10] = 'X', "use-after-poison");
  ASAN_UNPOISON_MEMORY_REGION(r + 10, 1);  // ...so damage the guard knowingly
#endif
  r[10] = 'X';  // one byte past the end
  EXPECT_EQ(mm_check_pool(p), 1);
  EXPECT_EQ(mm_free(r), 0);
  EXPECT_EQ(cap.last(), "mm_free() - corrupted trailer");
  // A freed block's link to the next freed block of its size, damaged (as
  // an overrun of the block before it would): to a block in use, a byte off
  // a block's place, a freed block of another size, past the arena's used
  // part, a freed block of another pool. Nothing is handed out that is in
  // use, too small or not this pool's.
  MmPool other = mm_create_pool(nullptr, 0, 0);
  for (int way = 0; way < 5; ++way) {
    auto* a = static_cast<uint8_t*>(MM_ALLOC(p, 24));
    auto* b = static_cast<uint8_t*>(MM_ALLOC(p, 24));
    auto* c = static_cast<uint8_t*>(MM_ALLOC(p, 24));
    auto* e = static_cast<uint8_t*>(MM_ALLOC(p, 8));
    ASSERT_EQ(mm_free(e), 1);
    ASSERT_EQ(mm_free(c), 1);
    ASSERT_EQ(mm_free(b), 1);
    auto* o = static_cast<uint8_t*>(MM_ALLOC(other, 24));
    ASSERT_EQ(mm_free(o), 1);
    uint32_t link = way == 2   ? arena::offset_of(e - 16)
                    : way == 3 ? 0xFFFFFF00u
                    : way == 4 ? arena::offset_of(o - 16)
                               : arena::offset_of(a - 16) + 8 * way;
    std::memcpy(b - 16 + 4, &link, 4);  // the freed header's size word
    EXPECT_EQ(MM_ALLOC(p, 24), b);
    uint8_t* d = static_cast<uint8_t*>(MM_ALLOC(p, 24));
    EXPECT_EQ(cap.last(), "mm_alloc() - corrupted free list") << way;
    EXPECT_TRUE(d && (d + 24 <= a - 16 || d >= a + 24) && d != e && d != o) << way;
  }
  mm_destroy_pool(other);
  int local;
  EXPECT_EQ(mm_free(&local), 0);
  // Places in the arena that are no block's are not read as one: the common
  // block (the arena's first chunk), a byte inside a block, the arena's end.
  for (uint8_t* q : {reinterpret_cast<uint8_t*>(&com), r + 3, arena::base() + arena::kReserve - 16}) {
    os_sys_err_log_clear();
    EXPECT_EQ(mm_free(q), 0);
    EXPECT_EQ(cap.last(), "mm_free() - block not from a pool");
  }
  // An array whose size does not fit the address space is refused, not
  // wrapped round to a small block.
  EXPECT_EQ(MM_ALLOC_ARRAY(p, 16, SIZE_MAX / 16 + 2), nullptr);  // 16 bytes once wrapped
  EXPECT_EQ(cap.last(), "mm_alloc() - block too large");
  // A text that gets no block says so in its descriptor.
  Tdesc t{};
  t.len = 5;
  EXPECT_EQ(MM_ALLOC_STR(0, t, 5), nullptr);
  EXPECT_EQ(t.len, 0);
  EXPECT_FALSE(t.text);
  mm_destroy_pool(p);
}

TEST(Pool, CancelAnswerUnwindsTheScope) {
  SysErrCapture cap(SysErrAnswer::Cancel);
  MmPool p = mm_create_pool(nullptr, 0, 0);
  int code = mark(5, [&] {
    MM_ALLOC(p, 0);
    ADD_FAILURE() << "CANCEL must not return";
  });
  EXPECT_EQ(code, 3);
  mm_destroy_pool(p);
}
