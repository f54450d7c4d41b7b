#include "files/bt.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include <pthread.h>
#include <unistd.h>

#include "files/unixio.h"

static_assert(std::endian::native == std::endian::little,
              "the index file's change counter is read as a host word");

namespace {

constexpr uint32_t kGrowMin = 256 * 1024;

std::atomic_ref<uint64_t> counter_ref(const BtStore& s) {
  return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(s.imap));
}

void set_counter(BtStore& s, uint64_t v) {
  counter_ref(s).store(v, std::memory_order_seq_cst);
}

uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

uint64_t page_sum(const uint8_t* p, uint32_t pg) {
  uint64_t seed = (uint64_t(pg) << 1 | 1) * 0x9E3779B97F4A7C15ull;
  seed ^= load64(p) * 0xC2B2AE3D27D4EB4Full;
  seed ^= load64(p + 8) * 0x165667B19E3779F9ull;
  return uio_sum64(p + 24, kBtPage - 24, seed);
}

uint64_t hdr_sum(const uint8_t* p) {
  return uio_sum64(p + kBtHdrJournaled, offsetof(BtHdr, sum) - kBtHdrJournaled, 0x51A7E0F1DE5ull);
}

uint64_t jnl_sum(const BtJnlEnt& e, const uint8_t* bytes, uint32_t padded) {
  uint64_t seed = e.txn.get() * 0x9E3779B97F4A7C15ull ^ (uint64_t(e.file.get()) << 56) ^
                  (uint64_t(e.len.get()) << 20) ^ e.off.get() * 0xC2B2AE3D27D4EB4Full;
  return uio_sum64(bytes, padded, seed);
}

uint32_t pad8(uint32_t n) { return (n + 7) & ~7u; }

// memcmp of short keys: eight bytes at a time, compared as big-endian
// words. The last word of a key ends with the key (it overlaps the word
// before, whose bytes are equal by then); a key of 4 to 7 bytes is compared
// as its first and last four bytes.
inline int kcmp(const uint8_t* a, const uint8_t* b, uint32_t n) {
  if (n >= 8) {
    for (uint32_t i = 0;; i += 8) {
      if (i + 8 > n) i = n - 8;
      uint64_t x, y;
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
      if (i + 8 >= n) return 0;
    }
  }
  if (n >= 4) {
    uint32_t x0, x1, y0, y1;
    std::memcpy(&x0, a, 4);
    std::memcpy(&x1, a + n - 4, 4);
    std::memcpy(&y0, b, 4);
    std::memcpy(&y1, b + n - 4, 4);
    uint64_t x = uint64_t(__builtin_bswap32(x0)) << 32 | __builtin_bswap32(x1);
    uint64_t y = uint64_t(__builtin_bswap32(y0)) << 32 | __builtin_bswap32(y1);
    return x == y ? 0 : x < y ? -1 : 1;
  }
  for (; n; --n, ++a, ++b)
    if (*a != *b) return *a < *b ? -1 : 1;
  return 0;
}

bool sync_on() { return uio_sync_mode(); }

}  // namespace

BtHdr& bt_hdr(BtStore& s) { return *reinterpret_cast<BtHdr*>(s.imap); }

uint64_t bt_counter(const BtStore& s) { return counter_ref(s).load(std::memory_order_acquire); }

// ---------------------------------------------------------------- format --
int bt_format(int ifd, int jfd, uint32_t generation, uint32_t key_hash,
              const BtTreeDef defs[kBtTrees]) {
  static_assert(sizeof(BtHdr) == kBtPage);
  BtHdr h;
  std::memset(&h, 0, sizeof h);
  h.counter = 0;
  h.magic.set("QVIX");
  h.version = 1;
  h.page_size = uint16_t(kBtPage);
  h.page_count = 1;
  h.generation = generation;
  h.key_hash = key_hash;
  for (int t = 0; t < kBtTrees; ++t) {
    h.trees[t].key_len = defs[t].key_len;
    h.trees[t].flags = defs[t].flags;
  }
  h.sum = hdr_sum(reinterpret_cast<uint8_t*>(&h));
  if (int e = uio_pwrite(ifd, &h, sizeof h, 0)) return e;
  BtJnlHdr j;
  std::memset(&j, 0, sizeof j);
  j.magic.set("QVJN");
  j.version = 1;
  if (int e = uio_pwrite(jfd, &j, sizeof j, 0)) return e;
  if (sync_on()) {
    if (int e = uio_sync(ifd)) return e;
    if (int e = uio_sync(jfd)) return e;
  }
  return 0;
}

// ----------------------------------------------------------- attach/maps --
void bt_refresh_sizes(BtStore& s) {
  int64_t n;
  if ((n = uio_size(s.dfd)) >= 0) s.dsize = uint64_t(n) < kBtDataReserve ? uint64_t(n) : kBtDataReserve;
  if ((n = uio_size(s.ifd)) >= 0) s.isize = uint64_t(n) < kBtIndexReserve ? uint64_t(n) : kBtIndexReserve;
  if ((n = uio_size(s.jfd)) >= 0) s.jsize = uint64_t(n) < kBtJnlReserve ? uint64_t(n) : kBtJnlReserve;
}

namespace {
// This process's id, asked of the kernel once and again after a fork.
uint32_t g_pid = 0;
uint32_t this_process() {
  static const bool forks_forget = (::pthread_atfork(nullptr, nullptr, [] { g_pid = 0; }), true);
  static_cast<void>(forks_forget);
  if (!g_pid) g_pid = uint32_t(::getpid());
  return g_pid;
}
}  // namespace

namespace {
UioHoldTable hold_table(BtStore& s) {
  UioHoldTable t;
  t.words = reinterpret_cast<uint64_t*>(s.imap + offsetof(BtHdr, holds));
  t.count = uint32_t(sizeof(BtHdr::holds) / 8);
  t.fd = s.ifd;
  t.live_base = kBtLiveBase;
  t.wait_base = kBtWaitBase;
  t.self = s.self;
  t.marked = &s.wait_mark;
  return t;
}

// Takes the live and wait marks of process me (at the open, or in a forked
// child that goes on with its parent's store): 0 or an errno value.
int become_live(BtStore& s, uint32_t me) {
  if (int e = uio_word_live(s.ifd, kBtLiveBase, me)) return e;
  s.self = me;
  UioHoldTable t = hold_table(s);
  static_cast<void>(uio_hold_mark(t));  // without it, waiters look again now and then
  // A lock word or holds naming this process are left from a process of the
  // same id that died (this process holds nothing of the file yet).
  uint32_t stale = me;
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(s.imap + offsetof(BtHdr, lock_owner)))
      .compare_exchange_strong(stale, 0);
  for (uint32_t i = 0; i < t.count; ++i) {
    std::atomic_ref<uint64_t> w(t.words[i]);
    uint64_t v = w.load(std::memory_order_relaxed);
    if (v != 0 && (uint32_t(v >> 32) & 0x7FFFFFFFu) == me) w.compare_exchange_strong(v, 0);
  }
  return 0;
}
}  // namespace

int bt_attach(BtStore& s) {
  bt_refresh_sizes(s);
  if (s.isize < kBtPage || s.jsize < sizeof(BtJnlHdr)) return kBtDamaged;
  s.cut = 0;
  s.dmap = uio_map(s.dfd, kBtDataReserve, s.writable, &s.cut);
  s.imap = uio_map(s.ifd, kBtIndexReserve, s.writable, &s.cut);
  s.jmap = uio_map(s.jfd, kBtJnlReserve, s.writable, &s.cut);
  if (!s.dmap || !s.imap || !s.jmap) {
    s.err = errno;
    bt_detach(s);
    return kBtIoError;
  }
  BtHdr& h = bt_hdr(s);
  const auto& j = *reinterpret_cast<const BtJnlHdr*>(s.jmap);
  if (!(h.magic == "QVIX") || h.version != 1 || h.page_size != kBtPage || !(j.magic == "QVJN"))
    return kBtDamaged;
  if (s.writable) {
    // The live mark, held until the index file is closed: while it is, no
    // other process takes this one's change lock over.
    if (int e = become_live(s, this_process())) {
      s.err = e;
      bt_detach(s);
      return kBtIoError;
    }
  }
  // Key lengths are fixed when the file is made: learnt once, they size
  // every copy of an entry from then on, whatever the mapping says later.
  for (int t = 0; t < kBtTrees; ++t) {
    uint32_t k = h.trees[t].key_len.get();
    if (k > kBtMaxKey) return kBtDamaged;
    s.klen[t] = uint16_t(k);
  }
  // The header's sum is checked by the caller under the lock (a change may be
  // under way now).
  return kBtOk;
}

void bt_detach(BtStore& s) {
  if (s.imap) bt_unlock(s);
  s.self = 0;
  s.wait_mark = false;
  uio_unmap(s.dmap, kBtDataReserve);
  uio_unmap(s.imap, kBtIndexReserve);
  uio_unmap(s.jmap, kBtJnlReserve);
  s.dmap = s.imap = s.jmap = nullptr;
}

int bt_remap(BtStore& s) {
  int e = uio_remap(s.dmap, s.dfd, kBtDataReserve, s.writable, &s.cut);
  if (!e) e = uio_remap(s.imap, s.ifd, kBtIndexReserve, s.writable, &s.cut);
  if (!e) e = uio_remap(s.jmap, s.jfd, kBtJnlReserve, s.writable, &s.cut);
  if (!e) {
    // Blocks made sure of past a cut are gone with it.
    bt_refresh_sizes(s);
    s.dheld = std::min(s.dheld, s.dsize);
    s.iheld = std::min(s.iheld, s.isize);
    s.jheld = std::min(s.jheld, s.jsize);
    return kBtOk;
  }
  s.cut = 1;
  s.err = e;
  return kBtIoError;
}

// ----------------------------------------------------------------- passes --
namespace {
constexpr uint64_t kNoPage = ~uint64_t(0);

void pass_forget(BtStore& s) {
  for (int m = 0; m < 2; ++m) s.pass_lo[m] = kNoPage, s.pass_hi[m] = 0;
  s.pass_pages = 0;
}

// Lets the pages read since the last release go from this process's view.
void pass_release(BtStore& s) {
  uint8_t* base[2] = {s.dmap, s.imap};
  for (int m = 0; m < 2; ++m) {
    uint64_t lo = s.pass_lo[m], hi = s.pass_hi[m];
    if (lo >= hi || !base[m]) continue;
    uio_map_release(base[m] + lo * kBtPage, (hi - lo) * kBtPage);
    std::vector<uint64_t>& v = s.pass_seen[m];
    uint64_t w0 = lo / 64, w1 = std::min<uint64_t>(v.size(), (hi + 63) / 64);
    if (w0 < w1) std::fill(v.begin() + long(w0), v.begin() + long(w1), 0);
  }
  pass_forget(s);
  ++s.pass_releases;
}
}  // namespace

void bt_pass_begin(BtStore& s, bool scattered) {
  if (!s.pass_walks && !s.pass_scattered) pass_forget(s);
  ++(scattered ? s.pass_scattered : s.pass_walks);
}

void bt_pass_end(BtStore& s, bool scattered) {
  int& n = scattered ? s.pass_scattered : s.pass_walks;
  if (n <= 0) return;
  --n;
  // The last pass leaves nothing of what it read behind.
  if (!s.pass_walks && !s.pass_scattered) pass_release(s);
}

void bt_pass_note(BtStore& s, int file, uint64_t off, uint32_t len) {
  std::vector<uint64_t>& v = s.pass_seen[file];
  uint64_t first = off / kBtPage, last = (off + (len ? len - 1 : 0)) / kBtPage;
  if (s.pass_scattered) {
    // A read fault maps the pages around the one touched that the system
    // holds (up to kBtPassAround): at scattered places all of them count.
    first &= ~uint64_t(kBtPassAround - 1);
    last |= kBtPassAround - 1;
  }
  for (uint64_t pg = first; pg <= last; ++pg) {
    uint64_t w = pg / 64, bit = uint64_t(1) << (pg % 64);
    if (w < v.size() && (v[w] & bit)) continue;
    // Before the page is read: a release after it would let go the page
    // the reader is on.
    if (s.pass_pages >= kBtPassPages) pass_release(s);
    if (w >= v.size()) v.resize(w + 1024, 0);
    v[w] |= bit;
    ++s.pass_pages;
    s.pass_lo[file] = std::min(s.pass_lo[file], pg);
    s.pass_hi[file] = std::max(s.pass_hi[file], pg + 1);
  }
}

// ------------------------------------------------------------------ locks --
namespace {
UioWordLock word_lock(const BtStore& s) {
  UioWordLock l;
  l.owner = reinterpret_cast<uint32_t*>(s.imap + offsetof(BtHdr, lock_owner));
  l.waiters = s.self ? reinterpret_cast<uint32_t*>(s.imap + offsetof(BtHdr, lock_waiters)) : nullptr;
  l.fd = s.ifd;
  l.live_base = kBtLiveBase;
  l.self = s.self;
  return l;
}

int take(BtStore& s, int level) {
  if (s.ilock) {
    s.ilock = std::max(s.ilock, level);
    return kBtOk;
  }
  if (!s.writable) {
    s.err = EBADF;
    return kBtIoError;
  }
  // Only a process holding its live mark takes the lock: a forked child that
  // goes on with its parent's open store takes its own first.
  uint32_t me = this_process();
  if (s.self != me) {
    if (int e = become_live(s, me)) {
      s.err = e;
      return kBtIoError;
    }
  }
  UioWordLock l = word_lock(s);
  // The name for the wait's report is made only when there is a wait.
  int e = uio_word_lock(l, kUioNoWait, nullptr);
  if (e == EAGAIN) e = uio_word_lock(l, kUioWaitForever, ("the index of " + s.name).c_str());
  if (e) {
    s.err = e;
    return kBtIoError;
  }
  s.ilock = level;
  return kBtOk;
}

int lock_excl(BtStore& s) { return take(s, 2); }
}  // namespace

int bt_lock_shared(BtStore& s) {
  if (s.ilock) return kBtOk;
  // A process that may write takes the lock as a changer would; one that may
  // only read waits until no one holds it.
  if (s.writable) return take(s, 1);
  std::string what = "the index of " + s.name;
  if (int e = uio_word_wait(word_lock(s), what.c_str())) {
    s.err = e;
    return kBtIoError;
  }
  return kBtOk;
}

int bt_lock(BtStore& s) { return lock_excl(s); }

void bt_unlock(BtStore& s) {
  if (!s.ilock) return;
  uio_word_unlock(word_lock(s));
  s.ilock = 0;
}

int bt_hold(BtStore& s, uint32_t rid, int wait_secs, const char* what, bool (*mine)(void* arg, uint32_t id),
            void* arg) {
  if (!s.writable) return EBADF;
  uint32_t me = this_process();
  if (s.self != me) {
    if (int e = become_live(s, me)) return e;
  }
  UioHoldTable t = hold_table(s);
  t.mine = mine;
  t.arg = arg;
  return uio_hold(t, rid, wait_secs, what);
}

void bt_unhold(BtStore& s, uint32_t rid) {
  if (s.writable && s.self == this_process()) uio_unhold(hold_table(s), rid);
}

pid_t bt_holder(BtStore& s, uint32_t rid) { return s.imap ? uio_hold_holder(hold_table(s), rid) : 0; }

bool bt_change_dead(BtStore& s) {
  uint64_t c = bt_counter(s);
  if (!(c & 1) || !uio_word_free(word_lock(s))) return false;
  // The owner word is set before the counter turns odd and cleared after it
  // turns even: an unchanged odd counter with no holder is a dead change.
  std::atomic_thread_fence(std::memory_order_acquire);
  return bt_counter(s) == c;
}

bool bt_hdr_ok(BtStore& s) {
  BtHdr& h = bt_hdr(s);
  if (!(h.magic == "QVIX") || h.sum.get() != hdr_sum(s.imap)) return false;
  uint64_t pages = h.page_count.get();
  if (pages == 0) return false;
  if (pages * kBtPage > s.isize) {
    bt_refresh_sizes(s);
    if (pages * kBtPage > s.isize) return false;
  }
  return true;
}

// ------------------------------------------------------------- recovery --
namespace {
struct JnlRef {
  uint64_t pos;
  uint32_t len;
};

// The journal entries of the change the counter value c names, oldest
// first. An entry whose bytes would land outside its file is damage (its
// offset near 2^64 must not wrap past the bound): kBtDamaged, *bad its place.
int jnl_entries(BtStore& s, uint64_t c, std::vector<JnlRef>* ents, uint64_t* bad) {
  uint64_t pos = sizeof(BtJnlHdr);
  while (pos + sizeof(BtJnlEnt) <= s.jsize) {
    const auto& e = *reinterpret_cast<const BtJnlEnt*>(s.jmap + pos);
    if (e.txn.get() != c) break;
    uint32_t len = e.len.get();
    uint64_t padded = (uint64_t(len) + 7) & ~uint64_t(7);  // in 64 bits: a length near 2^32 must not wrap
    if (len == 0 || pos + sizeof(BtJnlEnt) + padded > s.jsize) break;
    if (jnl_sum(e, s.jmap + pos + sizeof(BtJnlEnt), padded) != e.sum.get()) break;
    uint64_t off = e.off.get();
    uint64_t size = e.file.get() == 0 ? s.isize : s.dsize;
    if (e.file.get() > 1 || off > size || len > size - off) {
      if (bad) *bad = pos;
      return kBtDamaged;
    }
    if (ents) ents->push_back({pos, len});
    pos += sizeof(BtJnlEnt) + padded;
  }
  return kBtOk;
}
}  // namespace

int bt_recover_check(BtStore& s, uint64_t* bad) {
  uint64_t c = bt_counter(s);
  if (!(c & 1)) return kBtOk;
  bt_refresh_sizes(s);
  return jnl_entries(s, c, nullptr, bad);
}

int bt_recover(BtStore& s) {
  uint64_t c = bt_counter(s);
  if (!(c & 1)) return kBtOk;
  bt_refresh_sizes(s);
  std::vector<JnlRef> ents;
  if (jnl_entries(s, c, &ents, nullptr) != kBtOk) return kBtDamaged;
  for (auto it = ents.rbegin(); it != ents.rend(); ++it) {
    const auto& e = *reinterpret_cast<const BtJnlEnt*>(s.jmap + it->pos);
    uint8_t* dst = (e.file.get() == 0 ? s.imap : s.dmap) + e.off.get();
    std::memcpy(dst, s.jmap + it->pos + sizeof(BtJnlEnt), it->len);
  }
  if (s.after_recover) s.after_recover(s);
  // Nothing this process verified can be trusted any longer.
  if (!ents.empty()) std::fill(s.verified.begin(), s.verified.end(), 0);
  // The old bytes reach the disk before the counter says the change is gone;
  // a failed flush leaves it odd, so that the rollback is made again.
  if (sync_on()) {
    int e = uio_sync(s.dfd);
    if (!e) e = uio_sync(s.ifd);
    if (e) {
      s.err = e;
      return kBtIoError;
    }
  }
  set_counter(s, c + 1);
  if (!s.in_txn) ++s.recoveries;
  if (sync_on()) {
    if (int e = uio_sync(s.ifd)) {
      s.err = e;
      return kBtIoError;
    }
  }
  return kBtOk;
}

// -------------------------------------------------------------- changes --
int bt_begin(BtStore& s) {
  if (!s.writable) {
    s.err = EBADF;
    return kBtIoError;
  }
  if (int rc = lock_excl(s)) return rc;
  // Every way out but a begun change (a failure, a fault that unwinds)
  // releases the lock.
  BtUnlockGuard unlock(s);
  int rc = bt_recover(s);
  if (rc == kBtIoError) return rc;
  if (rc != kBtOk || !bt_hdr_ok(s)) return kBtDamaged;
  uint64_t c = bt_counter(s);
  s.txn = c + 1;
  set_counter(s, s.txn);
  std::atomic_thread_fence(std::memory_order_release);
  if (sync_on()) {
    if (int e = uio_sync(s.ifd)) {
      // Nothing is changed yet: the counter goes back.
      set_counter(s, c);
      s.err = e;
      return kBtIoError;
    }
  }
  unlock.keep();
  s.in_txn = true;
  s.jpos = sizeof(BtJnlHdr);
  s.touched.clear();
  s.touched_from.clear();
  s.dhdr_touched = false;
  return kBtOk;
}

namespace {
// Appends one journal entry of the bytes at off of the given file.
int journal(BtStore& s, uint8_t file, uint64_t off, uint32_t len) {
  uint32_t padded = pad8(len);
  uint64_t need = s.jpos + sizeof(BtJnlEnt) + padded;
  if (need > kBtJnlReserve) {
    s.err = EFBIG;
    return kBtIoError;
  }
  if (need > s.jheld) {
    uint64_t want = need + (need / 4 > kGrowMin ? need / 4 : kGrowMin);
    if (want > kBtJnlReserve) want = kBtJnlReserve;
    uint64_t from = std::max(s.jheld, s.jpos);
    if (int e = uio_reserve(s.jfd, from, want - from)) {
      s.err = e;
      return kBtIoError;
    }
    s.jheld = want;
    s.jsize = std::max(s.jsize, want);
  }
  uint8_t* at = s.jmap + s.jpos;
  auto& e = *reinterpret_cast<BtJnlEnt*>(at);
  const uint8_t* src = (file == 0 ? s.imap : s.dmap) + off;
  uint8_t* bytes = at + sizeof(BtJnlEnt);
  std::memcpy(bytes, src, len);
  if (padded > len) std::memset(bytes + len, 0, padded - len);
  BtJnlEnt h;
  std::memset(&h, 0, sizeof h);
  h.txn = s.txn;
  h.file = file;
  h.len = len;
  h.off = off;
  h.sum = jnl_sum(h, bytes, padded);
  std::memcpy(&e, &h, sizeof h);
  s.jpos = need;
  if (sync_on()) {
    if (int err = uio_sync(s.jfd)) {
      s.err = err;
      return kBtIoError;
    }
  }
  return kBtOk;
}

// A change journals a handful of pages: their short list is looked through,
// since the per-page marks of a large index are a cache miss apart; only a
// change of more pages marks them there too.
constexpr size_t kShortTouched = 32;
bool is_touched(const BtStore& s, uint32_t pg) {
  if (s.touched.size() <= kShortTouched) return std::find(s.touched.begin(), s.touched.end(), pg) != s.touched.end();
  return pg < s.tmark.size() && s.tmark[pg] == s.txn;
}
// Where a journaled page's journaled bytes begin (the page is touched).
uint16_t& touched_from(BtStore& s, uint32_t pg) {
  if (s.touched.size() <= kShortTouched)
    return s.touched_from[size_t(std::find(s.touched.begin(), s.touched.end(), pg) - s.touched.begin())];
  return s.tfrom[pg];
}
void clear_touched(BtStore& s) {
  s.touched.clear();
  s.touched_from.clear();
}
}  // namespace

int bt_touch_data(BtStore& s, uint64_t off, uint32_t len) {
  if (off == 0 && len == 512) {
    if (s.dhdr_touched) return kBtOk;
    s.dhdr_touched = true;
  }
  if (off + len > s.dsize) {
    bt_refresh_sizes(s);
    // Past the file's end there is nothing to keep.
    if (off >= s.dsize) return kBtOk;
    if (off + len > s.dsize) len = uint32_t(s.dsize - off);
  }
  return journal(s, 1, off, len);
}

int bt_grow_data(BtStore& s, uint64_t end) {
  if (end <= s.dheld) return kBtOk;
  if (end > kBtDataReserve) {
    s.err = EFBIG;
    return kBtIoError;
  }
  bt_refresh_sizes(s);
  uint64_t want = end + (end / 8 > (uint64_t(1) << 20) ? end / 8 : (uint64_t(1) << 20));
  if (want > kBtDataReserve) want = kBtDataReserve;
  // A file long enough may still have holes where it is written next (see
  // uio_reserve): from a step below end on (the slot being written, up to
  // kGrowMin bytes, begins there) to want.
  uint64_t from = std::max(s.dheld, end > kGrowMin ? end - kGrowMin : 0);
  if (int e = uio_reserve(s.dfd, from, want - from)) {
    s.err = e;
    return kBtIoError;
  }
  s.dheld = want;
  s.dsize = std::max(s.dsize, want);
  return kBtOk;
}

namespace {
void mark_touched(BtStore& s, uint32_t pg, uint32_t from = kBtPageHdr) {
  s.touched.push_back(pg);
  s.touched_from.push_back(uint16_t(from));
  size_t n = s.touched.size();
  if (n <= kShortTouched) return;
  // Past the short list: every page of the change gets its marks, the list's
  // pages when it grows past it.
  for (size_t i = n == kShortTouched + 1 ? 0 : n - 1; i < n; ++i) {
    uint32_t q = s.touched[i];
    if (s.tmark.size() <= q) {
      s.tmark.resize(q + 1024, 0);
      s.tfrom.resize(q + 1024, 0);
    }
    s.tmark[q] = s.txn;
    s.tfrom[q] = s.touched_from[i];
  }
}

// A page for changing its header and its bytes from offset `from` on (a
// leaf's entries from the one an insert or erase is at): only those are
// journaled, and the rest on a later wider use in the same change. A
// rollback copies the entries back newest first, so that every byte gets
// the value it had before the change. In sync mode, where each journal
// entry is flushed, a page is journaled whole, in one entry.
uint8_t* wpage_from(BtStore& s, uint32_t pg, uint32_t from) {
  uint8_t* p = s.imap + uint64_t(pg) * kBtPage;
  if (pg == 0) {
    if (!is_touched(s, 0)) {
      if (journal(s, 0, kBtHdrJournaled, kBtHdrEnd - kBtHdrJournaled) != kBtOk) return nullptr;
      mark_touched(s, 0);
    }
    return p;
  }
  if (from < kBtPageHdr || sync_on()) from = kBtPageHdr;
  if (from > kBtPage) from = kBtPage;
  uint64_t at = uint64_t(pg) * kBtPage;
  if (!is_touched(s, pg)) {
    // Pages past the header's page count hold nothing yet: a rollback
    // restores the count and so forgets them.
    if (pg >= bt_hdr(s).page_count.get()) {
      mark_touched(s, pg);
      return p;
    }
    if (from == kBtPageHdr) {
      if (journal(s, 0, at, kBtPage) != kBtOk) return nullptr;
    } else {
      if (journal(s, 0, at, kBtPageHdr) != kBtOk) return nullptr;
      if (from < kBtPage && journal(s, 0, at + from, kBtPage - from) != kBtOk) return nullptr;
    }
    mark_touched(s, pg, from);
  } else if (uint16_t& was = touched_from(s, pg); from < was) {
    if (journal(s, 0, at + from, was - from) != kBtOk) return nullptr;
    was = uint16_t(from);
  }
  return p;
}
}  // namespace

uint8_t* bt_wpage(BtStore& s, uint32_t pg) { return wpage_from(s, pg, kBtPageHdr); }

int bt_commit(BtStore& s, void (*done_fn)(void*), void* arg) {
  uint64_t done = s.txn + 1;
  for (uint32_t pg : s.touched) {
    uint8_t* p = s.imap + uint64_t(pg) * kBtPage;
    if (pg == 0) continue;
    BtPageHdr& ph = bt_ph(p);
    ph.lsn = done;
    ph.sum = page_sum(p, pg);
    if (s.verified.size() <= pg) s.verified.resize(pg + 1024, 0);
    s.verified[pg] = done + 1;
  }
  BtHdr& h = bt_hdr(s);
  h.sum = hdr_sum(s.imap);
  if (sync_on()) {
    // The journal was flushed entry by entry; data and index now, before the
    // counter says the change is complete. A failed flush undoes the change.
    int e = uio_sync(s.dfd);
    if (!e) e = uio_sync(s.ifd);
    if (e) {
      static_cast<void>(bt_abort(s));  // a failed rollback leaves it to the next changer
      s.err = e;
      return kBtIoError;
    }
  }
  std::atomic_thread_fence(std::memory_order_release);
  set_counter(s, done);
  s.in_txn = false;
  clear_touched(s);
  if (done_fn) done_fn(arg);
  int e = sync_on() ? uio_sync(s.ifd) : 0;
  bt_unlock(s);
  if (e) {
    s.err = e;
    return kBtIoError;
  }
  return kBtOk;
}

int bt_abort(BtStore& s) {
  if (!s.in_txn) return kBtOk;
  int rc = kBtOk;
  if (s.jpos == sizeof(BtJnlHdr)) {
    // Nothing was changed yet (a refused write): only the counter goes on.
    set_counter(s, s.txn + 1);
  } else {
    // Our own change is rolled back exactly as a dead one would be.
    rc = bt_recover(s);
  }
  s.in_txn = false;
  clear_touched(s);
  bt_unlock(s);
  return rc;
}

// ------------------------------------------------------------------ pages --
bool bt_page_ok(BtStore& s, uint32_t pg) {
  const uint8_t* p = s.imap + uint64_t(pg) * kBtPage;
  const BtPageHdr& ph = bt_ph(p);
  return ph.page.get() == pg && ph.sum.get() == page_sum(p, pg);
}

const uint8_t* bt_rpage(BtStore& s, uint32_t pg) {
  if (pg == 0) return nullptr;
  uint64_t end = (uint64_t(pg) + 1) * kBtPage;
  if (end > s.isize) {
    bt_refresh_sizes(s);
    if (end > s.isize) return nullptr;
  }
  bt_pass_read(s, 1, uint64_t(pg) * kBtPage, kBtPage);
  const uint8_t* p = s.imap + uint64_t(pg) * kBtPage;
  if (s.in_txn && is_touched(s, pg)) return p;
  uint64_t lsn = bt_ph(p).lsn.get();
  if (pg < s.verified.size() && s.verified[pg] == lsn + 1) return p;
  if (!bt_page_ok(s, pg)) return nullptr;
  if (s.verified.size() <= pg) s.verified.resize(pg + 1024, 0);
  s.verified[pg] = lsn + 1;
  return p;
}

int bt_alloc_page(BtStore& s, uint32_t* out) {
  uint8_t* h0 = bt_wpage(s, 0);
  if (!h0) return kBtIoError;
  BtHdr& h = bt_hdr(s);
  uint32_t pg = h.free_head.get();
  if (pg) {
    const uint8_t* fp = bt_rpage(s, pg);
    // A free page lies inside the file's pages: one past them would be
    // handed out again when the file grows over it.
    if (pg >= h.page_count.get() || !fp || bt_ph(fp).kind.get() != 'F') return kBtDamaged;
    uint8_t* p = bt_wpage(s, pg);
    if (!p) return kBtIoError;
    h.free_head = bt_ph(p).next.get();
    h.free_count = h.free_count.get() - 1;
  } else {
    pg = h.page_count.get();
    if (uint64_t(pg + 1) * kBtPage > kBtIndexReserve) {
      s.err = EFBIG;
      return kBtIoError;
    }
    uint64_t need = uint64_t(pg + 1) * kBtPage;
    if (need > s.iheld) {
      bt_refresh_sizes(s);
      uint64_t want = need + (need / 8 > kGrowMin ? need / 8 : kGrowMin);
      want = (want + kBtPage - 1) / kBtPage * kBtPage;
      if (want > kBtIndexReserve) want = kBtIndexReserve;
      uint64_t from = std::max(s.iheld, need - kBtPage);  // the new page on (see uio_reserve)
      if (int e = uio_reserve(s.ifd, from, want - from)) {
        s.err = e;
        return kBtIoError;
      }
      s.iheld = want;
      s.isize = std::max(s.isize, want);
    }
    if (!is_touched(s, pg)) mark_touched(s, pg);
    h.page_count = pg + 1;
  }
  uint8_t* p = s.imap + uint64_t(pg) * kBtPage;
  std::memset(p, 0, kBtPage);
  bt_ph(p).page = pg;
  *out = pg;
  return kBtOk;
}

int bt_free_page(BtStore& s, uint32_t pg) {
  uint8_t* h0 = bt_wpage(s, 0);
  uint8_t* p = bt_wpage(s, pg);
  if (!h0 || !p) return kBtIoError;
  BtHdr& h = bt_hdr(s);
  std::memset(p, 0, kBtPage);
  BtPageHdr& ph = bt_ph(p);
  ph.kind = 'F';
  ph.page = pg;
  ph.next = h.free_head.get();
  h.free_head = pg;
  h.free_count = h.free_count.get() + 1;
  return kBtOk;
}

// ------------------------------------------------------------------ trees --
namespace {

struct TreeShape {
  uint32_t klen;   // compared bytes
  uint32_t esize;  // entry size
  uint32_t cap;    // entries per page
  uint32_t group;  // entries from one search sample to the next (below)
};

// A search in a page first compares the key with samples: the entries at
// multiples of the group size, spread over the page so that each group of
// entries between two samples lies in a few lines. The samples' lines are
// asked of the memory system with the page's header, all at once; the group
// the answer lies in is fetched next, whole. A search in a page from memory
// waits for two rounds of fetches rather than one for each halving.
constexpr uint32_t kGroupBytes = 512;
constexpr uint32_t kNearBytes = 640;  // a search range fetched whole: ten lines

// Entries a page and a group by compared bytes, worked out once: a shape is
// needed on every descent, and a division costs more than the lookup.
struct Shapes {
  uint16_t cap[kBtMaxKey + 1];
  uint16_t group[kBtMaxKey + 1];
};
constexpr Shapes make_shapes() {
  Shapes t{};
  for (uint32_t k = 0; k <= kBtMaxKey; ++k) {
    t.cap[k] = uint16_t((kBtPage - kBtPageHdr) / (k + 4));
    t.group[k] = uint16_t(std::max<uint32_t>(2, kGroupBytes / (k + 4)));
  }
  return t;
}
constexpr Shapes kShapes = make_shapes();

TreeShape shape(BtStore& s, int tree) {
  uint32_t k = s.klen[tree];
  if (k > kBtMaxKey) return TreeShape{k, k + 4, (kBtPage - kBtPageHdr) / (k + 4), 2};
  return TreeShape{k, k + 4, kShapes.cap[k], kShapes.group[k]};
}

inline uint8_t* ent(uint8_t* p, const TreeShape& t, uint32_t i) { return p + kBtPageHdr + i * t.esize; }
inline const uint8_t* ent(const uint8_t* p, const TreeShape& t, uint32_t i) {
  return p + kBtPageHdr + i * t.esize;
}
inline uint32_t val(const uint8_t* e, const TreeShape& t) {
  return rec::view<rec::U32>(e + t.klen).get();
}
inline void set_val(uint8_t* e, const TreeShape& t, uint32_t v) { rec::view<rec::U32>(e + t.klen).set(v); }


// A seek guesses where in the leaf its entry lies before the leaf is read.
// Keys spread fairly evenly between two neighbouring separators of a
// parent page, so the key's place between the separators on either side
// of the child taken, times the entries the leaf had when a seek of this
// process last read it, is near the answer. The lines of the entries
// around the guess are asked for with the leaf's header, in place of its
// samples, and the search looks there first: when the entries at the two
// ends of that window enclose the key, the answer lies between them, and
// the search needs neither the samples nor a group fetched after them (one
// round of fetches instead of two). The guess only decides where the
// search looks first, never what it finds.
constexpr uint32_t kGuessBytes = 192;  // entries on either side of the guess: about this many bytes

uint32_t guess_reach(const TreeShape& t) { return std::max<uint32_t>(4, kGuessBytes / t.esize); }

// Where key (its first n bytes) lies between the compared bytes lo and hi:
// a share in [0, 1], or -1 when their bytes tell nothing. The bytes after
// those lo and hi share are read as the digits of a number: a place where
// all three hold decimal digits (numbers kept as text) as a digit of ten
// values, where all three hold capital letters (or all three small ones)
// as one of 26, any other as one of 256, so that keys of text spread about
// as evenly as binary ones.
struct KeyDigits {
  uint32_t first, count;
  double part;  // 1 / count: a multiplication where a division would wait
};
constexpr KeyDigits kKeyDigits[] = {{'0', 10, 1.0 / 10}, {'A', 26, 1.0 / 26}, {'a', 26, 1.0 / 26}};

double key_place(const uint8_t* lo, const uint8_t* hi, const uint8_t* key, uint32_t klen, uint32_t n) {
  uint32_t c = 0;
  for (; c + 8 <= klen; c += 8) {
    uint64_t a, b;
    std::memcpy(&a, lo + c, 8);
    std::memcpy(&b, hi + c, 8);
    if (a != b) break;
  }
  while (c < klen && lo[c] == hi[c]) ++c;
  if (c >= n) return -1;
  double vl = 0, vh = 0, vk = 0, unit = 1;
  for (uint32_t j = c; j < c + 6 && j < klen; ++j) {
    uint32_t a = lo[j], b = hi[j], k = j < n ? key[j] : 0;
    uint32_t zero = 0;
    double part = 1.0 / 256;
    for (const KeyDigits& d : kKeyDigits) {
      if (a - d.first < d.count && b - d.first < d.count && k - d.first < d.count) {
        zero = d.first, part = d.part;
        break;
      }
    }
    unit *= part;
    vl += (a - zero) * unit;
    vh += (b - zero) * unit;
    vk += (k - zero) * unit;
  }
  if (!(vh > vl)) return -1;
  if (vk <= vl) return 0;
  if (vk >= vh) return 1;
  return (vk - vl) / (vh - vl);
}

// The entry of leaf pg a seek for key is likely to end at (lo, hi: the
// leaf's separators in its parent, null at either end of the tree), or -1.
int32_t leaf_guess(const BtStore& s, const TreeShape& t, uint32_t pg, const uint8_t* lo, const uint8_t* hi,
                   const uint8_t* key, uint32_t n) {
  if (!lo || !hi || pg >= s.leaf_count.size()) return -1;
  uint32_t had = s.leaf_count[pg];
  if (had == 0) return -1;
  double f = key_place(lo, hi, key, t.klen, n);
  if (f < 0) return -1;
  return int32_t(f * had);
}

// The guesses of a tree's seeks lately: tried, missed (halved every 64).
void note_guess(BtStore& s, int tree, bool hit) {
  BtStore::Guesses& g = s.guesses[tree];
  if (++g.tried > 64) g.tried /= 2, g.missed /= 2;
  g.missed += hit ? 0 : 1;
}
// More than a quarter of them missed.
bool guesses_miss(const BtStore& s, int tree) { return s.guesses[tree].missed * 4 > s.guesses[tree].tried; }

// The header line of page pg asked for, and this process's notes on it (the
// change value it was last verified at, a leaf's count): the first ask of a
// page in a large file waits for its page-table walk, and the notes, a miss
// of their own in a large index, arrive during it rather than after.
void ask_page(const BtStore& s, uint32_t pg) {
#if defined(__GNUC__)
  if ((uint64_t(pg) + 1) * kBtPage > s.isize) return;
  __builtin_prefetch(s.imap + uint64_t(pg) * kBtPage);
  if (pg < s.verified.size()) __builtin_prefetch(s.verified.data() + pg);
  if (pg < s.leaf_count.size()) __builtin_prefetch(s.leaf_count.data() + pg);
#else
  static_cast<void>(s), static_cast<void>(pg);
#endif
}

// The lines of a page of the tree a walk reads first, asked for: its header
// and the lines of its samples; with a guess (-1: none), the lines of the
// entries around the guessed one instead of the samples.
void prefetch_page(const BtStore& s, int tree, const TreeShape& t, uint32_t pg, int32_t guess = -1) {
#if defined(__GNUC__)
  if ((uint64_t(pg) + 1) * kBtPage <= s.isize) {
    const uint8_t* q = s.imap + uint64_t(pg) * kBtPage;
    ask_page(s, pg);
    // With a guess, the samples are read only when it fails: fewer lines
    // asked for at once come sooner. Where the guesses of the tree missed
    // often lately (keys spread unevenly), they are asked for too.
    if (t.cap * t.esize > kNearBytes && (guess < 0 || guesses_miss(s, tree))) {
      uint32_t g = t.group;
      for (uint32_t i = g; i < t.cap; i += g) {
        const uint8_t* e = ent(q, t, i);
        __builtin_prefetch(e);
        __builtin_prefetch(e + t.klen - 1);
      }
    }
    if (guess >= 0) {
      uint32_t r = guess_reach(t);
      uint32_t from = uint32_t(guess) > r ? uint32_t(guess) - r : 0;
      uint32_t to = std::min(t.cap, uint32_t(guess) + r + 1);
      if (from < to) {
        const uint8_t* a = ent(q, t, from);
        uint32_t len = (to - from) * t.esize;
        for (uint32_t o = 0; o < len; o += 64) __builtin_prefetch(a + o);
        __builtin_prefetch(a + len - 1);
      }
    }
  }
#else
  static_cast<void>(s), static_cast<void>(tree), static_cast<void>(t), static_cast<void>(pg);
  static_cast<void>(guess);
#endif
}

// A page of the tree checked for what the walk needs, its first lines asked
// for before it is read (prefetch_page).
const uint8_t* tree_page(BtStore& s, int tree, const TreeShape& t, uint32_t pg, int level, int32_t guess = -1) {
  prefetch_page(s, tree, t, pg, guess);
  const uint8_t* p = bt_rpage(s, pg);
  if (!p) return nullptr;
  const BtPageHdr& ph = bt_ph(p);
  uint8_t kind = level == 0 ? 'L' : 'I';
  if (ph.kind.get() != kind || ph.tree.get() != tree || ph.level.get() != level || ph.count.get() > t.cap)
    return nullptr;
  if (level > 0 && ph.count.get() == 0) return nullptr;
  return p;
}

// The first index in [lo, hi) whose entry's first n bytes compare >= key
// (after: > key), else hi. The samples inside the range narrow it to one
// group; the group's lines are fetched at once and halved without a branch
// on the comparison. Whatever the entries hold, the answer lies in [lo, hi].
uint32_t search(const uint8_t* p, const TreeShape& t, uint32_t lo, uint32_t hi, const uint8_t* key, uint32_t n,
                bool after) {
  // An entry goes before the answer when it compares < key (after: <= key).
  const int bar = after ? 1 : 0;
  const uint32_t es = t.esize;
  if (lo < hi && (hi - lo) * es > kNearBytes) {
    uint32_t g = t.group;
    uint32_t first = lo < g ? g : (lo / g + 1) * g;
    uint32_t below = 0;
    for (uint32_t i = first; i < hi; i += g) below += kcmp(ent(p, t, i), key, n) < bar ? 1 : 0;
    // In a sound page the samples before the key come first.
    if (below) lo = first + (below - 1) * g + 1;
    hi = std::min(hi, first + below * g);
  }
  if (lo >= hi) return lo;
  const uint8_t* base = p + kBtPageHdr + lo * es;
  uint32_t len = hi - lo;
#if defined(__GNUC__)
  for (uint32_t o = 0; o < len * es; o += 64) __builtin_prefetch(base + o);
  __builtin_prefetch(base + len * es - 1);
#endif
  // The index of base is kept beside it (no division at the end).
  uint32_t at = lo;
  while (len > 1) {
    uint32_t half = len / 2;
    const uint8_t* probe = base + half * es;
    bool before = kcmp(probe, key, n) < bar;
    base = before ? probe : base;
    at = before ? at + half : at;
    len -= half;
  }
  return at + (kcmp(base, key, n) < bar ? 1 : 0);
}

// leaf_index, looking first at the window of entries around a guess (-1:
// none) when the leaf has any; how the guess fared is noted.
uint32_t leaf_index_near(BtStore& s, int tree, const uint8_t* p, const TreeShape& t, const uint8_t* key,
                         uint32_t n, bool after, int32_t guess) {
  uint32_t count = bt_ph(p).count.get();
  if (guess >= 0 && count > 0) {
    const int bar = after ? 1 : 0;
    uint32_t r = guess_reach(t);
    uint32_t g = std::min(uint32_t(guess), count - 1);
    uint32_t a = g > r ? g - r : 0, b = std::min(count, g + r + 1);
    // The answer is past a when entry a goes before it, and at most b - 1
    // when entry b - 1 does not (the page's ends bound it anyway).
    bool hit = (a == 0 || kcmp(ent(p, t, a), key, n) < bar) && (b == count || kcmp(ent(p, t, b - 1), key, n) >= bar);
    note_guess(s, tree, hit);
    if (hit) return search(p, t, a == 0 ? 0 : a + 1, b == count ? count : b - 1, key, n, after);
  }
  return search(p, t, 0, count, key, n, after);
}

// Child index in an internal page: the last entry i >= 1 whose first n
// bytes compare < key (after: <= key), else 0.
uint32_t child_index(const uint8_t* p, const TreeShape& t, const uint8_t* key, uint32_t n, bool after) {
  return search(p, t, 1, bt_ph(p).count.get(), key, n, after) - 1;
}

// First entry index in a leaf whose first n bytes compare >= key (after: > key).
uint32_t leaf_index(const uint8_t* p, const TreeShape& t, const uint8_t* key, uint32_t n, bool after) {
  return search(p, t, 0, bt_ph(p).count.get(), key, n, after);
}

void fill_cursor(BtStore& s, const TreeShape& t, const uint8_t* p, uint32_t pg, uint32_t idx, BtCursor& c) {
  const uint8_t* e = ent(p, t, idx);
  std::memcpy(c.key, e, t.klen);
  c.rid = val(e, t);
  c.page = pg;
  c.idx = idx;
  c.stamp = s.in_txn ? 1 : bt_counter(s);
}

// From leaf page pg at index idx (possibly past its end) to the next entry.
// The keys rise along the chain: a leaf whose first key is not past the
// last key of the leaves left behind is a chain another user bent back.
int settle(BtStore& s, int tree, const TreeShape& t, const uint8_t* p, uint32_t pg, uint32_t idx, BtCursor& c) {
  uint8_t last[kBtMaxKey];  // (a copy: the next page may map the file afresh)
  bool left = false;
  for (int hops = 0; idx >= bt_ph(p).count.get(); ++hops) {
    uint32_t count = bt_ph(p).count.get(), next = bt_ph(p).next.get();
    if (count > 0) std::memcpy(last, ent(p, t, count - 1), t.klen), left = true;
    if (next == 0) return kBtNotFound;
    if (hops > 1 << 20) return kBtRetry;
    p = tree_page(s, tree, t, next, 0);
    if (!p) return kBtRetry;
    pg = next;
    idx = 0;
  }
  if (left && kcmp(ent(p, t, idx), last, t.klen) <= 0) return kBtRetry;
  fill_cursor(s, t, p, pg, idx, c);
  return kBtOk;
}

}  // namespace

int bt_seek(BtStore& s, int tree, const uint8_t* key, uint32_t n, bool after, BtCursor& c) {
  const BtTreeHdr& th = bt_hdr(s).trees[tree];
  TreeShape t = shape(s, tree);
  if (n > t.klen || t.klen == 0 || t.klen > kBtMaxKey) return kBtRetry;
  uint32_t pg = th.root.get();
  int level = th.height.get() - 1;
  if (pg == 0 || level < 0) return kBtNotFound;
  if (level > 40) return kBtRetry;
  // The separators on either side of the subtree the descent is in (null:
  // the tree's end), for the guess in the leaf.
  const uint8_t* lo = nullptr;
  const uint8_t* hi = nullptr;
  int32_t guess = -1;
  for (;;) {
    const uint8_t* p = tree_page(s, tree, t, pg, level, guess);
    if (!p) return kBtRetry;
    if (level == 0) {
      // The leaf's entries, for the next seek's guess in it.
      if (s.leaf_count.size() <= pg) s.leaf_count.resize(pg + 1024, 0);
      s.leaf_count[pg] = uint16_t(bt_ph(p).count.get());
      return settle(s, tree, t, p, pg, leaf_index_near(s, tree, p, t, key, n, after, guess), c);
    }
    uint32_t i = child_index(p, t, key, n, after);
    if (i > 0) lo = ent(p, t, i);
    if (i + 1 < bt_ph(p).count.get()) hi = ent(p, t, i + 1);
    pg = val(ent(p, t, i), t);
    if (--level == 0) {
      ask_page(s, pg);
      guess = leaf_guess(s, t, pg, lo, hi, key, n);
    }
  }
}

int bt_step(BtStore& s, int tree, BtCursor& c) {
  TreeShape t = shape(s, tree);
  if (!s.in_txn && c.stamp == bt_counter(s) && !(c.stamp & 1)) {
    const uint8_t* p = tree_page(s, tree, t, c.page, 0);
    if (p && c.idx < bt_ph(p).count.get() && kcmp(ent(p, t, c.idx), c.key, t.klen) == 0)
      return settle(s, tree, t, p, c.page, c.idx + 1, c);
  }
  uint8_t key[kBtMaxKey];
  std::memcpy(key, c.key, t.klen);
  return bt_seek(s, tree, key, t.klen, true, c);
}

uint32_t bt_ahead(const BtStore& s, int tree, const BtCursor& c, uint32_t ahead, uint32_t* out, uint32_t n) {
  uint32_t k = s.klen[tree];
  if (k == 0 || k > kBtMaxKey) return 0;
  uint32_t esize = k + 4, cap = (kBtPage - kBtPageHdr) / esize;
  uint32_t pg = c.page, i = c.idx + ahead, got = 0;
  for (int leaf = 0; leaf < kBtAheadLeaves && got < n && pg != 0 && (uint64_t(pg) + 1) * kBtPage <= s.isize;
       ++leaf) {
    const uint8_t* p = s.imap + uint64_t(pg) * kBtPage;
    uint32_t count = std::min<uint32_t>(bt_ph(p).count.get(), cap);
    for (; i < count && got < n; ++i) out[got++] = rec::view<rec::U32>(p + kBtPageHdr + i * esize + k).get();
    i = i >= count ? i - count : i;
    pg = bt_ph(p).next.get();
  }
  return got;
}

// -------------------------------------------------------------- changes --
namespace {

struct PathStep {
  uint32_t pg;
  uint32_t idx;  // child index taken
  bool last;     // it was the page's last child
};

// Descends for the compared bytes; fills the path of internal pages.
int descend(BtStore& s, int tree, const TreeShape& t, const uint8_t* key, std::vector<PathStep>& path,
            uint32_t* leaf) {
  const BtTreeHdr& th = bt_hdr(s).trees[tree];
  uint32_t pg = th.root.get();
  int level = th.height.get() - 1;
  path.clear();
  while (level > 0) {
    const uint8_t* p = tree_page(s, tree, t, pg, level);
    if (!p) return kBtDamaged;
    uint32_t i = child_index(p, t, key, t.klen, true);
    path.push_back({pg, i, i + 1 == bt_ph(p).count.get()});
    pg = val(ent(p, t, i), t);
    --level;
  }
  if (!tree_page(s, tree, t, pg, 0)) return kBtDamaged;
  *leaf = pg;
  return kBtOk;
}

int new_page(BtStore& s, int tree, int level, uint32_t* pg, uint8_t** p) {
  if (int rc = bt_alloc_page(s, pg)) return rc;
  *p = s.imap + uint64_t(*pg) * kBtPage;
  BtPageHdr& ph = bt_ph(*p);
  ph.kind = level == 0 ? 'L' : 'I';
  ph.tree = uint8_t(tree);
  ph.level = uint8_t(level);
  BtTreeHdr& th = bt_hdr(s).trees[tree];
  th.pages = th.pages.get() + 1;
  return kBtOk;
}

// Inserts entry e at index i of page p (room assumed).
void put(uint8_t* p, const TreeShape& t, uint32_t i, const uint8_t* e) {
  BtPageHdr& ph = bt_ph(p);
  uint32_t n = ph.count.get();
  std::memmove(ent(p, t, i + 1), ent(p, t, i), (n - i) * t.esize);
  std::memcpy(ent(p, t, i), e, t.esize);
  ph.count = uint16_t(n + 1);
}

void cut(uint8_t* p, const TreeShape& t, uint32_t i) {
  BtPageHdr& ph = bt_ph(p);
  uint32_t n = ph.count.get();
  std::memmove(ent(p, t, i), ent(p, t, i + 1), (n - i - 1) * t.esize);
  ph.count = uint16_t(n - 1);
}

}  // namespace

int bt_insert(BtStore& s, int tree, const uint8_t* key, uint32_t rid) {
  TreeShape t = shape(s, tree);
  if (!bt_wpage(s, 0)) return kBtIoError;
  BtTreeHdr& th = bt_hdr(s).trees[tree];
  uint8_t e[kBtMaxKey + 4];
  std::memcpy(e, key, t.klen);
  set_val(e, t, rid);
  if (th.root.get() == 0) {
    uint32_t pg;
    uint8_t* p;
    if (int rc = new_page(s, tree, 0, &pg, &p)) return rc;
    put(p, t, 0, e);
    th.root = pg;
    th.height = 1;
    th.entries = 1;
    return kBtOk;
  }
  std::vector<PathStep> path;
  uint32_t leaf;
  if (int rc = descend(s, tree, t, key, path, &leaf)) return rc;
  const uint8_t* rp = bt_rpage(s, leaf);
  uint32_t i = leaf_index(rp, t, key, t.klen, false);
  if (i < bt_ph(rp).count.get() && kcmp(ent(rp, t, i), key, t.klen) == 0) return kBtDupKey;
  // The leaf changes from entry i on (also when it splits: its entries
  // before i stay where they are).
  uint8_t* p = wpage_from(s, leaf, kBtPageHdr + i * t.esize);
  if (!p) return kBtIoError;
  th.entries = th.entries.get() + 1;
  // Up the path: insert e at i in page pg of the level; split when full.
  uint32_t pg = leaf;
  int level = 0;
  for (;;) {
    uint32_t n = bt_ph(p).count.get();
    if (n < t.cap) {
      put(p, t, i, e);
      return kBtOk;
    }
    // Split: the upper part moves to a new right page. An insert at the very
    // end of the last page of its level (ascending loads) moves only the new
    // entry, so such loads fill their pages.
    uint32_t rpg;
    uint8_t* r;
    if (int rc = new_page(s, tree, level, &rpg, &r)) return rc;
    bool rightmost = true;
    for (const PathStep& st : path) rightmost = rightmost && st.last;
    uint32_t keep = (i == n && rightmost) ? n : (n + 1) / 2;
    uint8_t sep[kBtMaxKey + 4];
    if (i < keep) {
      // The new entry goes left.
      uint32_t moved = n - (keep - 1);
      std::memcpy(ent(r, t, 0), ent(p, t, keep - 1), moved * t.esize);
      bt_ph(r).count = uint16_t(moved);
      bt_ph(p).count = uint16_t(keep - 1);
      put(p, t, i, e);
    } else {
      uint32_t moved = n - keep;
      std::memcpy(ent(r, t, 0), ent(p, t, keep), moved * t.esize);
      bt_ph(r).count = uint16_t(moved);
      bt_ph(p).count = uint16_t(keep);
      put(r, t, i - keep, e);
    }
    if (level == 0) {
      bt_ph(r).next = bt_ph(p).next.get();
      bt_ph(p).next = rpg;
    }
    std::memcpy(sep, ent(r, t, 0), t.klen);
    set_val(sep, t, rpg);
    if (path.empty()) {
      // A new root above the two.
      uint32_t root;
      uint8_t* np;
      if (int rc = new_page(s, tree, level + 1, &root, &np)) return rc;
      uint8_t left[kBtMaxKey + 4];
      std::memset(left, 0, t.klen);
      set_val(left, t, pg);
      put(np, t, 0, left);
      put(np, t, 1, sep);
      th.root = root;
      th.height = uint8_t(th.height.get() + 1);
      return kBtOk;
    }
    PathStep up = path.back();
    path.pop_back();
    p = bt_wpage(s, up.pg);
    if (!p) return kBtIoError;
    pg = up.pg;
    i = up.idx + 1;
    std::memcpy(e, sep, t.esize);
    ++level;
  }
}

int bt_erase(BtStore& s, int tree, const uint8_t* key, uint32_t* rid) {
  TreeShape t = shape(s, tree);
  BtTreeHdr& th = bt_hdr(s).trees[tree];
  if (th.root.get() == 0) return kBtNotFound;
  thread_local std::vector<PathStep> path;  // its room kept from erase to erase
  uint32_t leaf;
  if (int rc = descend(s, tree, t, key, path, &leaf)) return rc;
  const uint8_t* rp = bt_rpage(s, leaf);
  uint32_t i = leaf_index(rp, t, key, t.klen, false);
  if (i >= bt_ph(rp).count.get() || kcmp(ent(rp, t, i), key, t.klen) != 0) return kBtNotFound;
  if (rid) *rid = val(ent(rp, t, i), t);
  if (!bt_wpage(s, 0)) return kBtIoError;
  uint8_t* p = wpage_from(s, leaf, kBtPageHdr + i * t.esize);  // the entries from i on move
  if (!p) return kBtIoError;
  cut(p, t, i);
  th.entries = th.entries.get() - 1;
  if (bt_ph(p).count.get() > 0) return kBtOk;
  if (path.empty()) {
    // The root leaf is empty: the tree is empty.
    if (int rc = bt_free_page(s, leaf)) return rc;
    th.root = 0;
    th.height = 0;
    th.pages = th.pages.get() - 1;
    return kBtOk;
  }
  // An empty leaf leaves the chain: its left neighbour (if any) takes its
  // next pointer. The left neighbour is the rightmost leaf of the subtree
  // just left of the path at the lowest level where the path did not go
  // to child 0.
  uint32_t next = bt_ph(p).next.get();
  int lvl = int(path.size()) - 1;
  while (lvl >= 0 && path[size_t(lvl)].idx == 0) --lvl;
  if (lvl >= 0) {
    const uint8_t* ap = bt_rpage(s, path[size_t(lvl)].pg);
    if (!ap) return kBtDamaged;
    uint32_t cpg = val(ent(ap, t, path[size_t(lvl)].idx - 1), t);
    int level = int(path.size()) - lvl - 1;  // level of cpg
    while (level > 0) {
      const uint8_t* cp = tree_page(s, tree, t, cpg, level);
      if (!cp) return kBtDamaged;
      cpg = val(ent(cp, t, bt_ph(cp).count.get() - 1), t);
      --level;
    }
    // The neighbour is read as a leaf of this tree before it is written: a
    // damaged link must not reach past the file or into another tree.
    if (!tree_page(s, tree, t, cpg, 0)) return kBtDamaged;
    uint8_t* lp = bt_wpage(s, cpg);
    if (!lp) return kBtIoError;
    bt_ph(lp).next = next;
  }
  if (int rc = bt_free_page(s, leaf)) return rc;
  th.pages = th.pages.get() - 1;
  // Remove the emptied page's entry from its parent, and so on up.
  while (!path.empty()) {
    PathStep up = path.back();
    path.pop_back();
    uint8_t* ip = bt_wpage(s, up.pg);
    if (!ip) return kBtIoError;
    cut(ip, t, up.idx);
    uint32_t n = bt_ph(ip).count.get();
    if (n > 0) {
      if (path.empty() && n == 1) {
        // A root with one child: the child becomes the root, once it reads
        // as this tree's page of the level below (a damaged link must not
        // become the root, nor free a page of another tree).
        uint32_t child = val(ent(ip, t, 0), t);
        if (!tree_page(s, tree, t, child, th.height.get() - 2)) return kBtDamaged;
        if (int rc = bt_free_page(s, up.pg)) return rc;
        th.root = child;
        th.height = uint8_t(th.height.get() - 1);
        th.pages = th.pages.get() - 1;
        // Its own single-child chain collapses too.
        for (;;) {
          if (th.height.get() <= 1) break;
          const uint8_t* rp2 = tree_page(s, tree, t, th.root.get(), th.height.get() - 1);
          if (!rp2) return kBtDamaged;
          if (bt_ph(rp2).count.get() != 1) break;
          uint32_t c2 = val(ent(rp2, t, 0), t);
          if (!tree_page(s, tree, t, c2, th.height.get() - 2)) return kBtDamaged;
          if (int rc = bt_free_page(s, th.root.get())) return rc;
          th.root = c2;
          th.height = uint8_t(th.height.get() - 1);
          th.pages = th.pages.get() - 1;
        }
      }
      return kBtOk;
    }
    if (int rc = bt_free_page(s, up.pg)) return rc;
    th.pages = th.pages.get() - 1;
    if (path.empty()) {
      th.root = 0;
      th.height = 0;
    }
  }
  return kBtOk;
}

int bt_erase_at(BtStore& s, int tree, const uint8_t* key, uint32_t rid, const BtCursor& c) {
  TreeShape t = shape(s, tree);
  if (s.in_txn && c.stamp + 1 == s.txn && t.klen > 0 && t.klen <= kBtMaxKey && c.page != 0 &&
      c.page < bt_hdr(s).page_count.get()) {
    const uint8_t* rp = tree_page(s, tree, t, c.page, 0);
    // An emptied leaf leaves the tree, which needs the path: descended below.
    if (rp && c.idx < bt_ph(rp).count.get() && bt_ph(rp).count.get() > 1 &&
        kcmp(ent(rp, t, c.idx), key, t.klen) == 0 && val(ent(rp, t, c.idx), t) == rid) {
      if (!bt_wpage(s, 0)) return kBtIoError;
      uint8_t* p = wpage_from(s, c.page, kBtPageHdr + c.idx * t.esize);
      if (!p) return kBtIoError;
      cut(p, t, c.idx);
      BtTreeHdr& th = bt_hdr(s).trees[tree];
      th.entries = th.entries.get() - 1;
      return kBtOk;
    }
  }
  return bt_erase(s, tree, key, nullptr);
}

void bt_prefetch_leaf(BtStore& s, int tree, const uint8_t* key) {
  TreeShape t = shape(s, tree);
  if (t.klen == 0 || t.klen > kBtMaxKey) return;
  const BtTreeHdr& th = bt_hdr(s).trees[tree];
  uint32_t pg = th.root.get();
  int level = th.height.get() - 1;
  if (pg == 0 || level > 40) return;
  for (; level > 0; --level) {
    const uint8_t* p = tree_page(s, tree, t, pg, level);
    if (!p) return;
    pg = val(ent(p, t, child_index(p, t, key, t.klen, true)), t);
  }
#if defined(__GNUC__)
  if ((uint64_t(pg) + 1) * kBtPage > s.isize) return;
  ask_page(s, pg);
  const uint8_t* q = s.imap + uint64_t(pg) * kBtPage;
  for (uint32_t o = 64; o < kBtPage; o += 64) __builtin_prefetch(q + o);
#endif
}

int bt_clear(BtStore& s) {
  if (!bt_wpage(s, 0)) return kBtIoError;
  BtHdr& h = bt_hdr(s);
  for (int tr = 0; tr < kBtTrees; ++tr) {
    h.trees[tr].root = 0;
    h.trees[tr].height = 0;
    h.trees[tr].entries = 0;
    h.trees[tr].pages = 0;
  }
  // Every page past the header is dropped; the file keeps its size.
  h.page_count = 1;
  h.free_head = 0;
  h.free_count = 0;
  return kBtOk;
}
