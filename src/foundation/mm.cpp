#include "foundation/mm.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/os.h"

// Under AddressSanitizer the guard bytes and freed blocks are poisoned, so a
// stray access is reported where it happens, not only at the next guard check.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define QV_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define QV_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define QV_POISON(p, n) ((void)(p), (void)(n))
#define QV_UNPOISON(p, n) ((void)(p), (void)(n))
#endif
#include "foundation/ut.h"

// ---------------------------------------------------------------- arena --
namespace arena {
namespace {
constexpr size_t kCommitStep = 1 << 20;
constexpr size_t kPage = 4096;

struct State {
  uint8_t* base = nullptr;
  uint64_t top = kGuard;        // next never-used offset
  uint64_t committed = kGuard;  // offsets below this are read-write
  size_t in_use = 0;
  std::multimap<size_t, uint32_t> free;  // size -> offset of a free chunk
};

State& st() {
  static State s;
  if (!s.base) s.base = reserve();
  return s;
}
}  // namespace

uint8_t* g_base = nullptr;

uint8_t* reserve() {
  if (g_base) return g_base;
  void* p = mmap(nullptr, kReserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    std::fprintf(stderr, "quvo: cannot reserve the engine arena (%llu bytes)\n", (unsigned long long)kReserve);
    std::abort();
  }
  g_base = static_cast<uint8_t*>(p);
  return g_base;
}

void outside(const void* p) {
  std::fprintf(stderr, "quvo: fatal: a reference to %p, outside the engine arena\n", p);
  std::abort();
}

void* alloc_chunk(size_t size) {
  State& s = st();
  size = (size + kPage - 1) & ~(kPage - 1);
  auto it = s.free.lower_bound(size);
  if (it != s.free.end() && it->first == size) {
    uint32_t off = it->second;
    s.free.erase(it);
    s.in_use += size;
    return s.base + off;
  }
  if (s.top + size > kReserve) return nullptr;
  uint64_t off = s.top;
  uint64_t need = off + size;
  if (need > s.committed) {
    uint64_t to = (need + kCommitStep - 1) & ~uint64_t(kCommitStep - 1);
    if (to > kReserve) to = kReserve;
    if (mprotect(s.base + s.committed, to - s.committed, PROT_READ | PROT_WRITE) != 0) return nullptr;
    s.committed = to;
  }
  s.top = need;
  s.in_use += size;
  return s.base + off;
}

void free_chunk(void* p, size_t size) {
  State& s = st();
  size = (size + kPage - 1) & ~(kPage - 1);
  uint32_t off = offset_of(p);
  // Large chunks give their pages back to the system; small ones stay
  // resident for the next pool (their users zero what they hand out).
  if (size >= 256 * kPage) madvise(p, size, MADV_DONTNEED);
  s.free.emplace(size, off);
  s.in_use -= size;
}

size_t committed() { return st().committed; }
size_t in_use() { return st().in_use; }
}  // namespace arena

// ----------------------------------------------------------------- pools --
namespace {
constexpr uint32_t kLive = 0xA110CA7Eu;
constexpr uint32_t kFreed = 0xF3EEDB10u;
constexpr uint8_t kTrailByte = 0xFD;
constexpr size_t kTrail = 8;
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kSmallTotal = 4096;

struct BlockHead {
  uint32_t magic;
  uint32_t size;   // bytes asked for
  uint32_t pool;
  uint32_t total;  // header + data + trailer, multiple of 16
};
static_assert(sizeof(BlockHead) == 16);

struct Chunk {
  uint8_t* p;
  size_t size;
  size_t used;  // bytes holding blocks (the bump chunk: see Pool::bump)
};

struct Pool {
  char name[11];
  bool named = false;
  int scope = 0;
  int flags = 0;
  std::vector<Chunk> chunks;
  uint8_t* bump = nullptr;
  uint8_t* bump_end = nullptr;
  size_t bump_chunk = 0;  // index of the chunk being carved
  void bump_chunk_used() { chunks[bump_chunk].used = size_t(bump - chunks[bump_chunk].p); }
  // Freed blocks by total size. Up to kSmallTotal bytes, a list per size
  // threaded through the freed blocks themselves: the head's arena offset
  // here, each freed block's `size` holding the next one's (0 ends it);
  // larger ones by size in the map.
  uint32_t small_free[kSmallTotal / 16 + 1] = {};
  std::unordered_map<uint32_t, std::vector<BlockHead*>> free;
  std::vector<BlockHead*> live_big;  // blocks in chunks of their own
  // Every member as a new pool has it (the containers keep their room).
  void clear() {
    std::memset(name, 0, sizeof name);
    named = false;
    scope = flags = 0;
    chunks.clear();
    bump = bump_end = nullptr;
    bump_chunk = 0;
    std::memset(small_free, 0, sizeof small_free);
    free.clear();
    live_big.clear();
  }
};

struct Pools {
  std::vector<Pool*> by_id{nullptr};  // index = id
  std::vector<MmPool> spare;
  size_t live = 0;
  // The objects of destroyed pools, for the next pools: a module and each
  // compile make and destroy their own, and a pool object is too large for
  // the allocator's quick lists.
  std::vector<Pool*> idle;
};
constexpr size_t kIdlePools = 4;

Pools& pools() {
  static Pools p;
  return p;
}

Pool* lookup(MmPool id) {
  auto& ps = pools();
  return id < ps.by_id.size() ? ps.by_id[id] : nullptr;
}

void sys_err(const char* text) {
  os_sys_err_text("MM", __LINE__, text);
}

size_t total_for(size_t size) { return (sizeof(BlockHead) + size + kTrail + 15) & ~size_t(15); }

bool trailer_ok(const BlockHead* h) {
  const uint8_t* t = reinterpret_cast<const uint8_t*>(h + 1) + h->size;
  const uint8_t* end = reinterpret_cast<const uint8_t*>(h) + h->total;
  QV_UNPOISON(t, size_t(end - t));
  // At least kTrail bytes: a word at a time, the last word overlapping.
  constexpr uint64_t kWord = 0x0101010101010101ull * kTrailByte;
  uint64_t bad = 0, w;
  const uint8_t* q = t;
  for (; q + 8 <= end; q += 8) std::memcpy(&w, q, 8), bad |= w ^ kWord;
  if (q < end) std::memcpy(&w, end - 8, 8), bad |= w ^ kWord;
  bool ok = bad == 0;
  QV_POISON(t, size_t(end - t));
  return ok;
}
}  // namespace

MmPool mm_create_pool(const char* name, int scope, int flags) {
  auto& ps = pools();
  // The name as 11 blank-padded characters: a shorter name (" CV_POOL") is
  // the same pool as its padded form, and nothing past its end is read.
  char key[11];
  std::memset(key, ' ', sizeof key);
  if (name)
    for (size_t i = 0; i < sizeof key && name[i]; ++i) key[i] = name[i];
  // A named pool is asked for again and again (the same few names): the
  // last pool found under a name's hash is looked at first, and taken when
  // it is still that pool. (There is at most one pool of a name and scope.)
  static MmPool seen[64];
  uint32_t h = uint32_t(scope) * 0x9E3779B1u;
  for (char c : key) h = (h ^ uint8_t(c)) * 0x01000193u;
  MmPool& hint = seen[h >> 26];
  auto match = [&](MmPool i) {
    const Pool* p = i < ps.by_id.size() ? ps.by_id[i] : nullptr;
    return p && p->named && p->scope == scope && std::memcmp(p->name, key, 11) == 0;
  };
  if (name) {
    if (hint && match(hint)) return hint;
    for (size_t i = 1; i < ps.by_id.size(); ++i)
      if (match(MmPool(i))) return hint = MmPool(i);
  }
  Pool* p;
  if (!ps.idle.empty()) {
    p = ps.idle.back();
    ps.idle.pop_back();
  } else {
    p = new Pool;
  }
  std::memcpy(p->name, key, 11);
  p->named = name != nullptr;
  p->scope = scope;
  p->flags = flags;
  MmPool id;
  if (!ps.spare.empty()) {
    id = ps.spare.back();
    ps.spare.pop_back();
    ps.by_id[id] = p;
  } else {
    id = MmPool(ps.by_id.size());
    ps.by_id.push_back(p);
  }
  ++ps.live;
  if (name) hint = id;
  return id;
}

void* mm_dbg_alloc(MmPool id, size_t size, const char* file, int line) {
  (void)file;
  (void)line;
  if (id == 0) return sys_err("mm_alloc() - no pool specified"), nullptr;
  Pool* p = lookup(id);
  if (!p) return sys_err("mm_alloc() - invalid pool id"), nullptr;
  if (size == 0) return sys_err("mm_alloc() - zero bytes requested"), nullptr;
  if (size > 0xFFFFFFF0u) return sys_err("mm_alloc() - block too large"), nullptr;
  size_t total = total_for(size);
  BlockHead* h = nullptr;
  uint32_t* small = total <= kSmallTotal ? &p->small_free[total / 16] : nullptr;
  auto fl = small ? p->free.end() : p->free.find(uint32_t(total));
  if (small && *small) {
    // The link lives in the freed block: one overrun by its neighbour would
    // hand out memory that is in use. Taken only when it is a freed block
    // of this pool and size.
    uint32_t off = *small;
    h = off % 16 == 0 && size_t(off) + total <= arena::committed()
            ? reinterpret_cast<BlockHead*>(arena::base() + off)
            : nullptr;
    if (h) QV_UNPOISON(h, sizeof *h);
    if (!h || h->magic != kFreed || h->pool != id || h->total != total) {
      *small = 0;  // what the list held is lost, not handed out
      sys_err("mm_alloc() - corrupted free list");
      return mm_dbg_alloc(id, size, file, line);
    }
    *small = h->size;
  } else if (fl != p->free.end() && !fl->second.empty()) {
    h = fl->second.back();
    fl->second.pop_back();
  } else if (total > kChunk / 4) {
    void* c = arena::alloc_chunk(total);
    if (!c) return sys_err("mm_alloc() - out of memory"), nullptr;
    p->chunks.push_back({static_cast<uint8_t*>(c), (total + 4095) & ~size_t(4095), total});
    h = static_cast<BlockHead*>(c);
  } else {
    if (size_t(p->bump_end - p->bump) < total) {
      void* c = arena::alloc_chunk(kChunk);
      if (!c) return sys_err("mm_alloc() - out of memory"), nullptr;
      if (p->bump) p->bump_chunk_used();
      p->chunks.push_back({static_cast<uint8_t*>(c), kChunk, 0});
      p->bump_chunk = p->chunks.size() - 1;
      p->bump = static_cast<uint8_t*>(c);
      p->bump_end = p->bump + kChunk;
    }
    h = reinterpret_cast<BlockHead*>(p->bump);
    p->bump += total;
  }
  QV_UNPOISON(h, total);
  h->magic = kLive;
  h->size = uint32_t(size);
  h->pool = id;
  h->total = uint32_t(total);
  uint8_t* data = reinterpret_cast<uint8_t*>(h + 1);
  std::memset(data, 0, size);
  std::memset(data + size, kTrailByte, total - sizeof(BlockHead) - size);
  QV_POISON(data + size, total - sizeof(BlockHead) - size);
  return data;
}

int mm_free(void* block) {
  // A block's header lies 16-byte aligned in the used part of the arena;
  // anything else is not read.
  uint64_t off = arena::contains(block) ? uint64_t(static_cast<uint8_t*>(block) - arena::base()) : 0;
  if (off % 16 != 0 || off < arena::kGuard + sizeof(BlockHead) || off >= arena::committed())
    return sys_err("mm_free() - block not from a pool"), 0;
  BlockHead* h = static_cast<BlockHead*>(block) - 1;
  if (h->magic == kFreed) return sys_err("mm_free() - attempting to free freed memory"), 0;
  if (h->magic != kLive) return sys_err("mm_free() - block not from a pool"), 0;
  Pool* p = lookup(h->pool);
  if (!p) return sys_err("mm_free() - invalid pool id"), 0;
  if (!trailer_ok(h)) return sys_err("mm_free() - corrupted trailer"), 0;
  h->magic = kFreed;
  if (h->total <= kSmallTotal) {
    uint32_t& head = p->small_free[h->total / 16];
    h->size = head;
    head = arena::offset_of(h);
  } else {
    p->free[h->total].push_back(h);
  }
  QV_POISON(h + 1, h->total - sizeof(BlockHead));
  return 1;
}

void mm_destroy_pool(MmPool id) {
  Pool* p = lookup(id);
  if (!p) return;
  for (auto& c : p->chunks) {
    QV_UNPOISON(c.p, c.size);
    arena::free_chunk(c.p, c.size);
  }
  auto& ps = pools();
  ps.by_id[id] = nullptr;
  ps.spare.push_back(id);
  --ps.live;
  if (ps.idle.size() < kIdlePools) {
    p->clear();
    ps.idle.push_back(p);
  } else {
    delete p;
  }
}

int mm_pool_scope(MmPool id) {
  Pool* p = lookup(id);
  return p ? p->scope : -1;
}

void mm_release_scope(int depth) {
  auto& ps = pools();
  for (size_t i = 1; i < ps.by_id.size(); ++i)
    if (ps.by_id[i] && ps.by_id[i]->scope >= depth) mm_destroy_pool(MmPool(i));
}

size_t mm_pool_count() { return pools().live; }

namespace {
// Calls fn for each block header of the pool's chunks, in address order;
// a header that is neither live nor freed ends the chunk's walk (fn is told
// with its second argument false).
template <class Fn>
void each_block(Pool* p, Fn fn) {
  if (p->bump) p->bump_chunk_used();
  for (auto& c : p->chunks) {
    uint8_t* q = c.p;
    uint8_t* end = c.p + c.used;
    while (q + sizeof(BlockHead) <= end) {
      auto* h = reinterpret_cast<BlockHead*>(q);
      bool sound = h->magic == kLive || h->magic == kFreed;
      fn(h, sound);
      if (!sound || h->total == 0) break;
      q += h->total;
    }
  }
}
}  // namespace

int mm_check_pool(MmPool id) {
  Pool* p = lookup(id);
  if (!p) return 0;
  int bad = 0;
  each_block(p, [&](BlockHead* h, bool sound) {
    if (!sound) {
      ++bad;
      sys_err("mm_check_pool() - corrupted block header");
    } else if (h->magic == kLive && !trailer_ok(h)) {
      ++bad;
      sys_err("mm_check_pool() - corrupted trailer");
    }
  });
  return bad;
}

size_t mm_pool_live(MmPool id) {
  Pool* p = lookup(id);
  if (!p) return 0;
  size_t n = 0;
  each_block(p, [&](BlockHead* h, bool sound) { n += sound && h->magic == kLive; });
  return n;
}

void* mm_alloc_array(MmPool pool, size_t elsize, size_t count, const char* file, int line) {
  size_t el = (elsize + 3) & ~size_t(3);
  if (el != 0 && count > SIZE_MAX / el) return sys_err("mm_alloc() - block too large"), nullptr;
  return mm_dbg_alloc(pool, el * count, file, line);
}

char* mm_alloc_str(MmPool pool, Tdesc& d, size_t len, const char* file, int line) {
  char* s = static_cast<char*>(mm_dbg_alloc(pool, len ? len : 1, file, line));
  d.len = uint16_t(s ? len : 0);
  d.text.set(s);
  return s;
}
