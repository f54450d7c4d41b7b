// Memory: the engine arena, compressed references and scoped memory pools.
//
// All engine memory that a record may point to lives in one arena: a single
// reservation of 4 GiB of address space, committed as it is used. A record's
// 4-byte address slot holds a Ref<T>: the offset of the target from the arena
// base, 0 for none. Storing any other pointer into a Ref is a fault that stops
// the engine at once, in every build.
//
// Pools are named (11 characters, blank padded; a null name gives an
// anonymous pool), belong to a recovery scope and hand out guarded,
// zero-filled blocks. A pool of a scope above the base scope is destroyed,
// with all its blocks, when its scope ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "foundation/record.h"

namespace arena {
constexpr uint64_t kReserve = uint64_t(1) << 32;  // address space reserved
constexpr uint32_t kGuard = 64 * 1024;            // never handed out: offset 0 is null

// The arena base (reserving it on first use). References are resolved on
// every record access: the base, once reserved, is read inline.
extern uint8_t* g_base;
uint8_t* reserve();
inline uint8_t* base() {
  uint8_t* b = g_base;
  return b ? b : reserve();
}
inline bool contains(const void* p) {
  const uint8_t* b = base();
  auto* q = static_cast<const uint8_t*>(p);
  return q > b && uint64_t(q - b) < kReserve;
}
[[noreturn]] void outside(const void* p);
// Offset of p in the arena (0 for null); a pointer outside the arena is fatal.
inline uint32_t offset_of(const void* p) {
  if (!p) return 0;
  if (!contains(p)) outside(p);
  return uint32_t(static_cast<const uint8_t*>(p) - g_base);
}
inline void* at(uint32_t off) { return off ? base() + off : nullptr; }
// Chunks: page-granular, 16-byte aligned; contents undefined.
void* alloc_chunk(size_t size);
void free_chunk(void* p, size_t size);
size_t committed();   // bytes of address space made usable so far
size_t in_use();      // bytes in chunks currently handed out
}  // namespace arena

// A 4-byte compressed reference, laid out as a little-endian u32 at any
// offset of a record. Conversions to and from T* are explicit.
template <class T>
struct Ref {
  rec::U32 off;
  static Ref of(T* p) { Ref r; r.off.set(arena::offset_of(p)); return r; }
  T* get() const { return static_cast<T*>(arena::at(off.get())); }
  void set(T* p) { off.set(arena::offset_of(p)); }
  void reset() { off.set(0); }
  uint32_t raw() const { return off.get(); }
  explicit operator bool() const { return off.get() != 0; }
  T* operator->() const { return get(); }
  template <class U = T>
    requires(!std::is_void_v<U>)
  U& operator*() const { return *get(); }
  bool operator==(const Ref& o) const { return off.get() == o.off.get(); }
};

QV_RECORD(Ref<void>, 4);

// Pools are named by a 32-bit id; 0 is no pool.
using MmPool = uint32_t;

// Finds or creates the pool of that name at that scope. The name is read up
// to 11 characters or its terminating zero and blank padded, so " CV_POOL"
// and " CV_POOL   " name the same pool; null gives a new anonymous pool.
MmPool mm_create_pool(const char* name, int scope, int flags);
void* mm_dbg_alloc(MmPool pool, size_t size, const char* file, int line);
// Frees one block; 1 on success, 0 after the system error for a freed,
// foreign or overrun block.
int mm_free(void* block);
void mm_destroy_pool(MmPool pool);
// The scope that owns the pool, -1 for an unknown pool.
int mm_pool_scope(MmPool pool);
// Destroys every pool of the given scope and deeper (scope release).
void mm_release_scope(int depth);
// Count of live pools (diagnostics and tests).
size_t mm_pool_count();
// Checks the guards of every live block of the pool; the number of damaged
// blocks (each also reported as a system error).
int mm_check_pool(MmPool pool);
// Count of live (allocated, not freed) blocks of the pool (tests, leak checks).
size_t mm_pool_live(MmPool pool);

// A counted text in a record: length and a reference to the characters.
struct Tdesc {
  rec::U16 len;
  rec::U16 spare;
  Ref<char> text;
};
QV_RECORD(Tdesc, 8);
QV_AT(Tdesc, text, 4);

void* mm_alloc_array(MmPool pool, size_t elsize, size_t count, const char* file, int line);
char* mm_alloc_str(MmPool pool, Tdesc& d, size_t len, const char* file, int line);

#define MM_ALLOC(pool, size) mm_dbg_alloc((pool), (size), __FILE__, __LINE__)
// count elements, each rounded up to a multiple of 4 bytes.
#define MM_ALLOC_ARRAY(pool, elsize, count) mm_alloc_array((pool), (elsize), (count), __FILE__, __LINE__)
// Allocates len bytes and fills the descriptor's length and reference.
#define MM_ALLOC_STR(pool, desc, len) mm_alloc_str((pool), (desc), (len), __FILE__, __LINE__)
