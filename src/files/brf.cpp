#include "files/brf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <random>

#include "files/fm.h"
#include "files/fmint.h"
#include "files/unixio.h"
#include "foundation/la.h"

namespace {

std::string g_err;

}  // namespace

uint32_t brf_fail(uint32_t status, const char* fmt, ...) {
  char buf[768];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  g_err = buf;
  return status;
}

namespace {

uint32_t damaged(BrfFile* f, const char* what) {
  if (f->st.cut) what = "the file was cut short while open";
  return brf_fail(FM_ST_SYS, "%s: %s; verify the file and rebuild its index", f->path.c_str(), what);
}

uint32_t io_fail(BrfFile* f, int err) {
  return brf_fail(FM_ST_SYS, "%s: %s", f->path.c_str(), std::strerror(err ? err : EIO));
}

inline BrfFileHdr& dh(BrfFile* f) { return *reinterpret_cast<BrfFileHdr*>(f->st.dmap); }

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
uint32_t get_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

bool fits(uint32_t room, uint32_t len) { return room == len || room >= len + kBrfSlotOver + 1; }

// ------------------------------------------------------- descriptor cache --
struct Cache {
  pid_t pid = 0;
  std::map<std::pair<dev_t, ino_t>, BrfFile*> files;
};
Cache& cache() {
  static Cache c;
  if (c.pid != ::getpid()) {
    // A forked child: the parent's descriptors hold no locks here.
    c.files.clear();
    c.pid = ::getpid();
  }
  return c;
}

BrfFile* cached(const std::string& path, struct stat* st_out) {
  struct stat st;
  // The name itself: a link is no name of an open file (opens refuse links).
  if (uio_lstat(path.c_str(), &st) != 0) return nullptr;
  if (st_out) *st_out = st;
  auto& c = cache();
  auto it = c.files.find({st.st_dev, st.st_ino});
  return it == c.files.end() ? nullptr : it->second;
}

void after_recover(BtStore& s) {
  // The restored end of records gets a zero slot header, so that a reader of
  // the raw data file stops there and not at a half-written record.
  auto& h = *reinterpret_cast<BrfFileHdr*>(s.dmap);
  uint64_t end = h.end.get();
  if (end >= kBrfHdrSize && end + kBrfSlotHdr <= s.dsize) std::memset(s.dmap + end, 0, kBrfSlotHdr);
}

}  // namespace

const std::string& brf_error() { return g_err; }

std::string brf_index_path(const std::string& path) { return path + ".ix"; }
std::string brf_journal_path(const std::string& path) { return path + ".jn"; }

size_t brf_open_files() { return cache().files.size(); }

// ------------------------------------------------------------- checksums --
uint32_t brf_hdr_sum(const BrfFileHdr& h) {
  return uio_crc32c(&h, offsetof(BrfFileHdr, sum), 0x44464651u);
}

uint32_t brf_slot_sum(const uint8_t* slot, uint32_t len) {
  return uio_crc32c(slot + 4, 8 + size_t(len), 0x534C4F54u);
}

uint32_t brf_key_hash(const BrfLayout& lay) {
  std::vector<uint8_t> b;
  b.push_back(uint8_t(lay.keys.size()));
  for (const BrfKeyDef& k : lay.keys) {
    b.push_back(k.key_no);
    b.push_back(k.flags & (kBrfKeyDup | kBrfKeyNullSupp));
    b.push_back(uint8_t(k.segs.size()));
    for (const BrfSeg& s : k.segs) {
      const uint8_t* p = reinterpret_cast<const uint8_t*>(&s);
      b.insert(b.end(), p, p + sizeof s);
    }
  }
  return uio_crc32c(b.data(), b.size(), 0x4B455953u);
}

// --------------------------------------------------------------- layouts --
bool brf_layout_ok(const BrfLayout& lay, std::string* why) {
  auto no = [&](const std::string& w) {
    if (why) *why = w;
    return false;
  };
  if (lay.rec_len == 0 || lay.rec_len > kBrfMaxRec) return no("record length out of range");
  if (lay.keys.size() > size_t(kBrfMaxKeys)) return no("more than 17 keys");
  if (lay.org == 3 && lay.keys.empty()) return no("a keyed file without keys");
  size_t segs = 0;
  for (const BrfKeyDef& k : lay.keys) {
    if (k.segs.empty()) return no("a key without segments");
    segs += k.segs.size();
    uint32_t n = 0;
    for (const BrfSeg& s : k.segs) {
      uint32_t off = s.offset.get(), len = s.length.get();
      if (len == 0 || off + len > lay.rec_len) return no("a key segment outside the record");
      if (s.type.get() == 8 && len > 8) return no("a binary key segment longer than 8 bytes");
      n += len;
    }
    if (n > kBrfMaxKeyLen) return no("a key longer than 255 bytes");
  }
  if (segs > size_t(kBrfMaxSegs)) return no("more than 62 key segments in all");
  return true;
}

bool brf_layout_equal(const BrfLayout& a, const BrfLayout& b) {
  if (a.rec_len != b.rec_len || (a.var != 0) != (b.var != 0) || a.keys.size() != b.keys.size()) return false;
  return brf_key_hash(a) == brf_key_hash(b);
}

void brf_tree_defs(const BrfLayout& lay, BtTreeDef defs[kBtTrees]) {
  for (int t = 0; t < kBtTrees; ++t) defs[t] = BtTreeDef{};
  for (size_t i = 0; i < lay.keys.size(); ++i) {
    const BrfKeyDef& k = lay.keys[i];
    bool dup = k.flags & kBrfKeyDup;
    defs[i].key_len = uint16_t(k.len() + (dup ? 4 : 0));
    defs[i].flags = uint8_t(kBtUsed | (dup ? kBtDup : 0));
  }
  defs[kBtFreeTree] = BtTreeDef{8, kBtUsed};
  if (lay.keys.empty()) defs[kBtOrderTree] = BtTreeDef{4, kBtUsed};
}

namespace {
void encode_hdr(const BrfLayout& lay, uint32_t generation, BrfFileHdr& h) {
  std::memset(&h, 0, sizeof h);
  h.magic.set("QVDF");
  h.version = 1;
  h.hdr_size = uint16_t(kBrfHdrSize);
  h.rec_len = lay.rec_len;
  h.var = lay.var ? 1 : 0;
  h.org = lay.keys.empty() ? 2 : 3;
  h.key_count = uint8_t(lay.keys.size());
  h.stamp[0] = lay.stamp[0];
  h.stamp[1] = lay.stamp[1];
  h.end = kBrfHdrSize;
  h.next_seq = 1;
  h.generation = generation;
  h.created = uint32_t(std::time(nullptr));
  h.key_hash = brf_key_hash(lay);
  uint8_t seg = 0;
  for (size_t i = 0; i < lay.keys.size(); ++i) {
    const BrfKeyDef& k = lay.keys[i];
    h.keys[i].key_no = k.key_no;
    h.keys[i].flags = k.flags & (kBrfKeyDup | kBrfKeyNullSupp);
    h.keys[i].seg_first = seg;
    h.keys[i].seg_count = uint8_t(k.segs.size());
    for (const BrfSeg& s : k.segs) h.segs[seg++] = s;
  }
  h.seg_count = seg;
  h.sum = brf_hdr_sum(h);
}
}  // namespace

bool brf_decode_hdr(const BrfFileHdr& h, BrfLayout* lay, std::string* why) {
  auto no = [&](const char* w) {
    if (why) *why = w;
    return false;
  };
  if (!(h.magic == "QVDF") || h.version != 1 || h.hdr_size != kBrfHdrSize)
    return no("not a native data file");
  if (h.sum.get() != brf_hdr_sum(h)) return no("its file header is damaged");
  if (h.flags.get() & 2) return no("its file header is damaged");
  BrfLayout l;
  l.rec_len = h.rec_len.get();
  l.var = h.var.get();
  l.org = h.org.get();
  l.stamp[0] = h.stamp[0].get();
  l.stamp[1] = h.stamp[1].get();
  if (h.key_count.get() > kBrfMaxKeys || h.seg_count.get() > kBrfMaxSegs) return no("its file header is damaged");
  for (int i = 0; i < h.key_count.get(); ++i) {
    BrfKeyDef k;
    k.key_no = h.keys[i].key_no.get();
    k.flags = h.keys[i].flags.get();
    uint32_t first = h.keys[i].seg_first.get(), n = h.keys[i].seg_count.get();
    if (first + n > h.seg_count.get()) return no("its file header is damaged");
    for (uint32_t j = 0; j < n; ++j) k.segs.push_back(h.segs[first + j]);
    l.keys.push_back(k);
  }
  std::string w;
  if (!brf_layout_ok(l, &w)) return no("its file header is damaged");
  if (brf_key_hash(l) != h.key_hash.get()) return no("its file header is damaged");
  if (h.end.get() < kBrfHdrSize || h.live.get() > h.end.get()) return no("its file header is damaged");
  if (lay) *lay = l;
  return true;
}

// ------------------------------------------------------------------- keys --

namespace {
void norm_seg(const BrfSeg& sg, const uint8_t* src, uint32_t n, uint8_t* out) {
  uint32_t len = sg.length.get();
  if (sg.type.get() == FM_SEG_BINARY && n == len) {
    for (uint32_t i = 0; i < len; ++i) out[i] = src[len - 1 - i];
  } else {
    std::memcpy(out, src, n);
  }
  if (sg.order.get() == '-')
    for (uint32_t i = 0; i < n; ++i) out[i] = uint8_t(~out[i]);
}
}  // namespace

bool brf_key_of(const BrfFile* f, int tree, const uint8_t* rec, uint32_t len, uint32_t seq, uint8_t* out) {
  if (tree == kBtOrderTree) {
    put_be32(out, seq);
    return true;
  }
  const BrfKeyDef& k = f->lay.keys[size_t(tree)];
  // Key bytes past the end of a short variable-length record read as zero.
  uint8_t pad[kBrfMaxRec];
  uint32_t need = 0;
  for (const BrfSeg& s : k.segs) need = std::max<uint32_t>(need, s.offset.get() + s.length.get());
  if (need > len) {
    std::memset(pad, 0, need);
    std::memcpy(pad, rec, len);
    rec = pad;
  }
  if ((k.flags & kBrfKeyNullSupp) && tree > 0) {
    // A null key: alpha segments blank, binary ones zero.
    bool null = true;
    for (const BrfSeg& s : k.segs) {
      uint8_t want = s.type.get() == FM_SEG_BINARY ? 0 : ' ';
      for (uint32_t i = 0; i < s.length.get() && null; ++i) null = rec[s.offset.get() + i] == want;
    }
    if (null) return false;
  }
  uint32_t o = 0;
  for (const BrfSeg& s : k.segs) {
    norm_seg(s, rec + s.offset.get(), s.length.get(), out + o);
    o += s.length.get();
  }
  if (k.flags & kBrfKeyDup) put_be32(out + o, seq);
  return true;
}


// ------------------------------------------------------------ reading --
namespace {

// The end of the records as far as this process may touch the mapping.
bool records_end(BrfFile* f, uint32_t* end) {
  uint32_t e = dh(f).end.get();
  if (e > f->st.dsize) {
    bt_refresh_sizes(f->st);
    if (e > f->st.dsize) return false;
  }
  *end = e;
  return true;
}

struct Slot {
  uint32_t pos = 0;
  uint8_t state = 0;
  uint32_t len = 0;
  uint32_t seq = 0;
  uint8_t* p = nullptr;
};

// The slot at off, its bounds checked. kBtOk or kBtRetry.
int slot_at(BrfFile* f, uint32_t off, uint32_t end, Slot& s) {
  if (off < kBrfHdrSize || uint64_t(off) + kBrfSlotOver > end) return kBtRetry;
  bt_pass_read(f->st, 0, off, kBrfSlotOver + f->lay.rec_len);
  uint8_t* p = f->st.dmap + off;
  const BrfSlotHdr& h = rec::view<BrfSlotHdr>(p);
  s.pos = off;
  s.p = p;
  s.state = h.state.get();
  s.len = h.len.get();
  s.seq = h.seq.get();
  if (s.len == 0 || uint64_t(off) + kBrfSlotOver + s.len > end) return kBtRetry;
  return kBtOk;
}

// The block of the data file at block number b, read through the file into
// the copies (nullptr when it cannot be read). Places are reused by a
// clock: the hand passes over places read since it last passed.
const uint8_t* copied_block(BrfFile* f, uint32_t b, uint32_t* have) {
  BrfFile::Copies& k = f->copy;
  if (auto it = k.where.find(b); it != k.where.end()) {
    k.used[it->second] = 1;
    *have = k.have[it->second];
    return k.mem.get() + uint64_t(it->second) * kBrfCopyBlock;
  }
  if (!k.mem) {
    // Memory is taken from the system as places fill.
    k.mem.reset(new uint8_t[uint64_t(kBrfCopyBlocks) * kBrfCopyBlock]);
    k.page.assign(kBrfCopyBlocks, 0);
    k.have.assign(kBrfCopyBlocks, 0);
    k.used.assign(kBrfCopyBlocks, 0);
    k.where.reserve(kBrfCopyBlocks);
  }
  uint32_t at;
  if (k.where.size() < kBrfCopyBlocks) {
    at = uint32_t(k.where.size());
  } else {
    while (k.used[k.hand]) k.used[k.hand] = 0, k.hand = (k.hand + 1) % kBrfCopyBlocks;
    at = k.hand;
    k.hand = (k.hand + 1) % kBrfCopyBlocks;
    k.where.erase(k.page[at]);
  }
  uint8_t* p = k.mem.get() + uint64_t(at) * kBrfCopyBlock;
  ssize_t got = uio_pread(f->st.dfd, p, kBrfCopyBlock, uint64_t(b) * kBrfCopyBlock);
  if (got <= 0) return nullptr;
  k.where[b] = at;
  k.page[at] = b;
  k.have[at] = uint16_t(got);
  k.used[at] = 1;
  *have = k.have[at];
  return p;
}

// Copies len bytes of the data file at off into dst through the copies of
// its blocks. False when they cannot be read.
bool copy_bytes(BrfFile* f, uint64_t off, uint32_t len, uint8_t* dst) {
  while (len) {
    uint32_t have;
    const uint8_t* p = copied_block(f, uint32_t(off / kBrfCopyBlock), &have);
    uint32_t in = uint32_t(off % kBrfCopyBlock), n = std::min<uint32_t>(len, kBrfCopyBlock - in);
    if (!p || in + n > have) return false;
    std::memcpy(dst, p + in, n);
    dst += n, off += n, len -= n;
  }
  return true;
}

// The slot at off read through the file into f->copy.slot (a scattered
// pass): as slot_at, with the slot's bytes in the copy. Reads no further
// than a live record's slot can reach: a longer slot (free space, the home
// slot of a moved record) comes with its header only. The copies are those
// of the change counter's present value, which the reader checks again
// after its read (a change under way reads past them).
int slot_read(BrfFile* f, uint32_t off, uint32_t end, Slot& s) {
  if (off < kBrfHdrSize || uint64_t(off) + kBrfSlotOver > end) return kBtRetry;
  BrfFile::Copies& k = f->copy;
  if (k.slot.empty()) k.slot.resize(kBrfMaxRec + kBrfSlotOver);
  uint32_t want = uint32_t(std::min<uint64_t>(kBrfSlotOver + f->lay.rec_len, end - off));
  uint64_t c = bt_counter(f->st);
  if ((c & 1) || f->st.in_txn) {
    k.counter = 1;
    if (uio_pread(f->st.dfd, k.slot.data(), want, off) != ssize_t(want)) return kBtRetry;
  } else {
    if (k.counter != c) {
      k.where.clear();
      k.hand = 0;
      std::fill(k.used.begin(), k.used.end(), 0);
      k.counter = c;
    }
    if (!copy_bytes(f, off, want, k.slot.data())) return kBtRetry;
  }
  const BrfSlotHdr& h = rec::view<BrfSlotHdr>(k.slot.data());
  s.pos = off;
  s.p = k.slot.data();
  s.state = h.state.get();
  s.len = h.len.get();
  s.seq = h.seq.get();
  if (s.len == 0 || uint64_t(off) + kBrfSlotOver + s.len > end) return kBtRetry;
  return kBtOk;
}

bool live_len_ok(BrfFile* f, uint32_t len) {
  return f->lay.var ? len <= f->lay.rec_len : len == f->lay.rec_len;
}

// The record of id rid (following a home slot). kBtOk, kBtNotFound (no live
// record has that id), kBtRetry (a check failed). copy: read through the
// file (slot_read), for a reader only.
int locate(BrfFile* f, uint32_t rid, Slot& rec, uint32_t end, bool copy = false) {
  auto at = [copy](BrfFile* f, uint32_t off, uint32_t end, Slot& s) {
    return copy ? slot_read(f, off, end, s) : slot_at(f, off, end, s);
  };
  Slot home;
  if (at(f, rid, end, home) != kBtOk) return kBtNotFound;
  if (home.state == kBrfLive) {
    rec = home;
  } else if (home.state == kBrfHome) {
    if (at(f, home.seq, end, rec) != kBtOk || rec.state != kBrfMoved) return kBtRetry;
  } else {
    return kBtNotFound;
  }
  // A copy holds a live record's whole slot only (slot_read).
  if (!live_len_ok(f, rec.len)) return kBtRetry;
  uint32_t trailer = rec::view<rec::U32>(rec.p + kBrfSlotHdr + rec.len).get();
  if (trailer != brf_slot_sum(rec.p, rec.len)) return kBtRetry;
  return kBtOk;
}

void deliver(const Slot& s, uint32_t rid, BrfRead& r) {
  r.rid = rid;
  r.len = s.len;
  r.seq = s.seq;
  if (r.buf) std::memcpy(r.buf, s.p + kBrfSlotHdr, s.len < r.cap ? s.len : r.cap);
}

// Runs fn on one consistent state of the file: without a lock while no
// change is under way, else under the shared index lock. fn returns BtRc;
// kBtRetry under the lock means damage.
template <class Fn>
int consistent_run(BrfFile* f, Fn&& fn) {
  BtStore& s = f->st;
  if (s.ilock) return fn(true);
  for (int attempt = 0; attempt < 3; ++attempt) {
    uint64_t c1 = bt_counter(s);
    if (c1 & 1) break;
    int rc = fn(false);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (bt_counter(s) == c1 && rc != kBtRetry) return rc;
  }
  if (!s.writable) {
    // A process that may only read holds no lock: it waits for the change
    // under way to end and reads again, until no change came between.
    for (int round = 0; round < 1000; ++round) {
      if (bt_lock_shared(s) != kBtOk) return kBtIoError;
      uint64_t c1 = bt_counter(s);
      if (c1 & 1) {
        if (bt_change_dead(s)) return kBtDamaged;  // its rollback waits for a writer
        continue;
      }
      int rc = fn(false);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (bt_counter(s) == c1) return rc == kBtRetry ? kBtDamaged : rc;
    }
    s.err = EBUSY;
    return kBtIoError;
  }
  for (int round = 0; round < 3; ++round) {
    if (bt_lock_shared(s) != kBtOk) return kBtIoError;
    BtUnlockGuard unlock(s);  // also when fn unwinds
    if (bt_counter(s) & 1) {
      // The changer died: roll its change back under the change lock.
      bt_unlock(s);
      if (int rc = bt_begin(s)) return rc == kBtIoError ? rc : int(kBtDamaged);
      // Nothing of ours to undo: the abort makes the counter even.
      if (int rc = bt_abort(s)) return rc;
      continue;
    }
    int rc = fn(true);
    return rc == kBtRetry ? kBtDamaged : rc;
  }
  return kBtDamaged;
}

// A file cut short by another user while this process had it open reads
// as zeros past its new end (uio_map): what a read found then is not the
// file's. The mappings are made afresh before the next operation, outside
// any change (a change's own writes must stay until it is rolled back).
bool mend_cut(BrfFile* f) {
  return !f->st.cut || f->st.in_txn || bt_remap(f->st) == kBtOk;
}

template <class Fn>
int consistent(BrfFile* f, Fn&& fn) {
  if (!mend_cut(f)) return kBtIoError;
  int rc = consistent_run(f, fn);
  return f->st.cut ? int(kBtDamaged) : rc;
}

uint32_t map_rc(BrfFile* f, int rc, uint32_t not_found) {
  switch (rc) {
    case kBtOk: return 0;
    case kBtNotFound: return not_found;
    case kBtIoError: return io_fail(f, f->st.err);
    default: return damaged(f, "the index or the data file is damaged");
  }
}

}  // namespace

uint32_t brf_read_rid(BrfFile* f, uint32_t rid, BrfRead& r) {
  int rc = consistent(f, [&](bool locked) {
    uint32_t end;
    if (!records_end(f, &end)) return int(kBtRetry);
    Slot s;
    int x = locate(f, rid, s, end, f->st.pass_scattered > 0);
    // A bad check at a given id is no record there, once seen under the lock.
    if (x == kBtRetry && locked) return int(kBtNotFound);
    if (x == kBtOk) deliver(s, rid, r);
    return x;
  });
  return map_rc(f, rc, FM_ST_NO_RECORD);
}

namespace {
// A walk in key order meets its records at random places of the data file,
// each on a page of its own: a miss in the address cache, a page-table walk,
// then the slot's lines. Hints for a record's every line at a distance keep
// more lines outstanding than the memory system tracks at once, and the
// walk stalls on its own hints. So the walk asks in two steps: every
// kScanBatch steps, for the first line of each of the kScanBatch records
// kScanAhead entries before it (their page-table walks overlap, and each
// record's page is known to the address cache when its turn comes), and on
// each step for the whole slot of the record kScanNear entries before it.
// Its first step (a seek alone reads one record) asks for everything up to
// where the batches take over.
constexpr uint32_t kScanNear = 4;
constexpr uint32_t kScanAhead = 16;
constexpr uint32_t kScanBatch = 16;

// Whether the slot at rid lies in the mapped file, as far as a hint goes
// (rid is not trusted).
bool slot_mapped(const BrfFile* f, uint32_t rid) {
  return rid >= kBrfHdrSize && uint64_t(rid) + kBrfSlotOver + f->lay.rec_len <= f->st.dsize;
}

// Asks the memory system for the lines of the slot at rid (a hint).
void fetch_slot(BrfFile* f, uint32_t rid) {
#if defined(__GNUC__)
  if (!slot_mapped(f, rid)) return;
  uint64_t len = uint64_t(kBrfSlotOver) + f->lay.rec_len;
  const uint8_t* p = f->st.dmap + rid;
  for (uint64_t o = 0; o < len; o += 64) __builtin_prefetch(p + o);
  __builtin_prefetch(p + len - 1);
#else
  (void)f, (void)rid;
#endif
}

// Asks for the first line of the slot at rid only (a hint).
void fetch_head(BrfFile* f, uint32_t rid) {
#if defined(__GNUC__)
  if (slot_mapped(f, rid)) __builtin_prefetch(f->st.dmap + rid);
#else
  (void)f, (void)rid;
#endif
}

// A walk going through the data file in its order (kBrfMapAheadRun steps
// in a row, each forward by less than a page) has the pages before it mapped
// in batches. Not during a pass, which keeps little of the file mapped.
void map_ahead(BrfFile* f, uint32_t rid) {
  BrfFile::Ahead& w = f->ahead;
  bool along = rid > w.last && rid - w.last < kBtPage;
  w.last = rid;
  w.run = along ? w.run + 1 : 0;
  if (w.run < kBrfMapAheadRun || rid < w.mapped || f->st.pass_walks || f->st.pass_scattered) return;
  uint64_t from = rid & ~uint64_t(kBtPage - 1), to = std::min<uint64_t>(from + kBrfMapAhead, f->st.dsize);
  if (from >= to) return;
  uio_map_ahead(f->st.dmap + from, to - from);
  w.mapped = to;
}

// The read-ahead of a walk at c, c.steps steps after its seek. The batches
// tile the walk: each record's first line is asked for once.
void fetch_ahead(BrfFile* f, int tree, const BtCursor& c) {
  uint32_t rids[kScanAhead + kScanBatch], n;
  uint32_t from = 0;
  if (c.steps == 1) {
    n = bt_ahead(f->st, tree, c, 0, rids, kScanAhead + kScanBatch - 1);
    for (; from < n && from < kScanNear; ++from) fetch_slot(f, rids[from]);
  } else if (c.steps % kScanBatch == 0) {
    n = bt_ahead(f->st, tree, c, kScanAhead, rids, kScanBatch);
  } else {
    n = 0;
  }
  for (uint32_t i = from; i < n; ++i) fetch_head(f, rids[i]);
  if (bt_ahead(f->st, tree, c, kScanNear, rids + n, 1)) fetch_slot(f, rids[n]);
  for (uint32_t i = 0; i < n; ++i) map_ahead(f, rids[i]);
}

int read_entry(BrfFile* f, uint32_t rid, BrfRead& r) {
  uint32_t end;
  if (!records_end(f, &end)) return kBtRetry;
  Slot s;
  int x = locate(f, rid, s, end, f->st.pass_scattered > 0);
  if (x != kBtOk) return kBtRetry;  // an entry must lead to a live record
  deliver(s, rid, r);
  return kBtOk;
}
}  // namespace

uint32_t brf_seek(BrfFile* f, int tree, const uint8_t* key, uint32_t n, BrfSeek how, BtCursor& c,
                  BrfRead& r) {
  int rc = consistent(f, [&](bool) {
    int x = bt_seek(f->st, tree, key, n, how == BrfSeek::After, c);
    if (x != kBtOk) return x;
    // The record's lines come together rather than one after another.
    fetch_slot(f, c.rid);
    c.steps = 0;
    if (how == BrfSeek::Exact && std::memcmp(c.key, key, n) != 0) return int(kBtNotFound);
    return read_entry(f, c.rid, r);
  });
  return map_rc(f, rc, how == BrfSeek::Exact ? FM_ST_NO_RECORD : FM_ST_EOF);
}

uint32_t brf_next(BrfFile* f, int tree, BtCursor& c, BrfRead& r) {
  // What a retry must start from again: the entry (its compared bytes only).
  struct Saved {
    uint32_t page, idx, rid, steps;
    uint64_t stamp;
    uint8_t key[kBtMaxKey];
  } saved;
  uint32_t klen = f->key_len[tree];
  saved.page = c.page;
  saved.idx = c.idx;
  saved.rid = c.rid;
  saved.steps = c.steps;
  saved.stamp = c.stamp;
  std::memcpy(saved.key, c.key, klen);
  auto restore = [&] {
    c.page = saved.page;
    c.idx = saved.idx;
    c.rid = saved.rid;
    c.steps = saved.steps;
    c.stamp = saved.stamp;
    std::memcpy(c.key, saved.key, klen);
  };
  bool first = true;
  int rc = consistent(f, [&](bool) {
    if (!first) restore();
    first = false;
    int x = bt_step(f->st, tree, c);
    if (x != kBtOk) return x;
    c.steps = saved.steps + 1 == 0 ? 1 : saved.steps + 1;
    fetch_ahead(f, tree, c);
    return read_entry(f, c.rid, r);
  });
  if (rc != kBtOk) restore();
  return map_rc(f, rc, FM_ST_EOF);
}


BrfCounts brf_counts(BrfFile* f) {
  BrfCounts k;
  consistent(f, [&](bool) {
    const BrfFileHdr& h = dh(f);
    k.live = h.live.get();
    k.dead = h.dead.get();
    k.free_bytes = h.free_bytes.get();
    k.end = h.end.get();
    return int(kBtOk);
  });
  return k;
}

// ------------------------------------------------------------------ holds --
uint32_t brf_hold(BrfFile* f, const void* owner, uint32_t rid, int wait_secs) {
  auto it = f->holds.find(rid);
  if (it != f->holds.end()) return it->second == owner ? 0 : FM_ST_HELD_SELF;
  char what[600];
  what[0] = 0;
  // The name for the wait's report is made only when there is a wait.
  auto mine = [](void* file, uint32_t id) { return static_cast<BrfFile*>(file)->holds.count(id) != 0; };
  int e = bt_hold(f->st, rid, kUioNoWait, nullptr, mine, f);
  if (e == EAGAIN && wait_secs != kUioNoWait) {
    std::snprintf(what, sizeof what, "record %u of %s", rid, f->path.c_str());
    e = bt_hold(f->st, rid, wait_secs, what, mine, f);
  }
  switch (e) {
    case 0:
      f->holds[rid] = owner;
      return 0;
    case EAGAIN: return FM_ST_LOCKED;
    case ETIMEDOUT: return FM_ST_LOCK_TIMEOUT;
    case ECANCELED:
      // The user gave up the wait: as a wait limit that passed.
      brf_fail(FM_ST_LOCK_TIMEOUT, "%s: the wait was cancelled", what);
      return FM_ST_LOCK_TIMEOUT;
    case EDEADLK:
      brf_fail(FM_ST_LOCKED, "%s: waiting for it would deadlock with another user", what);
      return FM_ST_LOCKED;
    default: return io_fail(f, e);
  }
}

void brf_unhold(BrfFile* f, const void* owner, uint32_t rid) {
  auto it = f->holds.find(rid);
  if (it == f->holds.end() || it->second != owner) return;
  f->holds.erase(it);
  bt_unhold(f->st, rid);
}


// ---------------------------------------------------------------- changes --
namespace {

struct Change {
  BrfFile* f;
  bool open = false;
  explicit Change(BrfFile* file) : f(file) {}
  // A change left open (a refusal, a failed step, a fault that unwinds) is
  // rolled back; a rollback that fails stays for the next changer to make.
  ~Change() {
    if (open) static_cast<void>(bt_abort(f->st));
  }
  uint32_t begin() {
    if (!mend_cut(f)) return io_fail(f, f->st.err);
    int rc = bt_begin(f->st);
    if (rc == kBtIoError) return io_fail(f, f->st.err);
    if (rc != kBtOk) return damaged(f, "the index file is damaged");
    open = true;
    const BrfFileHdr& h = dh(f);
    if (h.sum.get() != brf_hdr_sum(h) || h.key_hash.get() != f->key_hash || !(h.magic == "QVDF"))
      return damaged(f, "its file header is damaged");
    uint32_t end = dh(f).end.get();
    if (end > f->st.dsize) {
      bt_refresh_sizes(f->st);
      if (end > f->st.dsize) return damaged(f, "the data file is shorter than its header says");
    }
    return 0;
  }
  // 0, or the status of a change that did not reach the disk (rolled back).
  // gone: the record the change deleted (kGoneAll: every record), whose hold
  // by this process ends with the change, before any other change (another
  // process's insert into its slot) can follow.
  static constexpr uint32_t kGoneAll = 0xFFFFFFFFu;
  uint32_t gone = 0;
  uint32_t commit() {
    if (f->st.dhdr_touched) dh(f).sum = brf_hdr_sum(dh(f));
    // Written where a cut left no file: rolled back, not committed.
    if (f->st.cut) return damaged(f, "");
    open = false;
    if (bt_commit(f->st, gone ? release_gone : nullptr, this) != kBtOk) return io_fail(f, f->st.err);
    if (f->st.cut) return damaged(f, "");
    return 0;
  }
  static void release_gone(void* arg) {
    auto* ch = static_cast<Change*>(arg);
    BrfFile* f = ch->f;
    if (ch->gone != kGoneAll) {
      if (f->holds.erase(ch->gone)) bt_unhold(f->st, ch->gone);
      return;
    }
    for (auto& [rid, owner] : f->holds) bt_unhold(f->st, rid);
    f->holds.clear();
  }
  // Maps a failed step and leaves the change to be rolled back.
  uint32_t bad(int rc) {
    if (rc == kBtIoError) return io_fail(f, f->st.err);
    return damaged(f, "the index or the data file is damaged");
  }
  int touch_hdr() { return bt_touch_data(f->st, 0, kBrfHdrSize); }
  int touch(uint32_t off, uint32_t len) { return bt_touch_data(f->st, off, len); }
};

// A slot header alone (free slots: their bytes and trailer mean nothing, and
// are left as they are, which a rollback relies on).
void write_hdr(BrfFile* f, uint32_t off, uint8_t state, uint32_t len, uint32_t seq) {
  BrfSlotHdr h;
  h.state = state;
  h.spare = 0;
  h.short_len = 0;
  h.len = len;
  h.seq = seq;
  std::memcpy(f->st.dmap + off, &h, sizeof h);
}

// A record's slot: header, bytes and trailer.
void write_slot(BrfFile* f, uint32_t off, uint8_t state, const uint8_t* rec, uint32_t len, uint32_t seq) {
  uint8_t* p = f->st.dmap + off;
  write_hdr(f, off, state, len, seq);
  std::memmove(p + kBrfSlotHdr, rec, len);
  rec::view<rec::U32>(p + kBrfSlotHdr + len).set(brf_slot_sum(p, len));
}

void free_key(uint8_t* k, uint32_t cap, uint32_t off) {
  put_be32(k, cap);
  put_be32(k + 4, off);
}

// The slot region [off, off + 16 + cap) becomes free. Its header bytes are
// journaled by the caller. A free slot at the end of the records shortens
// them. Otherwise, with fixed-length records, the slot goes onto the free
// chain (its header and the file header are all it writes); with
// variable-length records it merges a free slot that follows and goes into
// the free-space tree.
int make_free(Change& ch, uint32_t off, uint32_t cap) {
  BrfFile* f = ch.f;
  BrfFileHdr& h = dh(f);
  if (int rc = ch.touch_hdr()) return rc;
  uint32_t end = h.end.get();
  uint64_t next = uint64_t(off) + kBrfSlotOver + cap;
  if (!f->lay.var && next < end) {
    uint32_t last = h.free_chain.get();
    write_hdr(f, off, kBrfFree, cap, last ? last : kBrfChainEnd);
    h.free_chain = off;
    h.dead = h.dead.get() + 1;
    h.free_bytes = h.free_bytes.get() + cap;
    return kBtOk;
  }
  if (next < end) {
    Slot n;
    if (slot_at(f, uint32_t(next), end, n) == kBtOk && n.state == kBrfFree) {
      uint8_t k[8];
      free_key(k, n.len, n.pos);
      if (bt_erase(f->st, kBtFreeTree, k, nullptr) == kBtOk) {
        h.dead = h.dead.get() - 1;
        h.free_bytes = h.free_bytes.get() - n.len;
        cap += kBrfSlotOver + n.len;
      }
    }
  }
  if (uint64_t(off) + kBrfSlotOver + cap == end) {
    h.end = off;
    std::memset(f->st.dmap + off, 0, kBrfSlotHdr);
    return kBtOk;
  }
  write_hdr(f, off, kBrfFree, cap, 0);
  uint8_t k[8];
  free_key(k, cap, off);
  if (int rc = bt_insert(f->st, kBtFreeTree, k, off)) return rc == kBtDupKey ? int(kBtDamaged) : rc;
  h.dead = h.dead.get() + 1;
  h.free_bytes = h.free_bytes.get() + cap;
  return kBtOk;
}

// A slot for a record of len bytes: a free slot that fits (best fit), else
// new room at the end. Its header is journaled; the caller writes it.
int alloc_slot(Change& ch, uint32_t len, uint32_t* out) {
  BrfFile* f = ch.f;
  BrfFileHdr& h = dh(f);
  if (int rc = ch.touch_hdr()) return rc;
  if (uint32_t off = h.free_chain.get()) {
    // The slot freed last. Its link names the one before it, or ends the
    // chain; anything else (a slot of another length, a link out of the
    // records or to itself, a place between the slots, where a record's
    // bytes may look like a free slot's header) is damage.
    uint32_t end = h.end.get();
    Slot s;
    if (f->lay.var || (off - kBrfHdrSize) % (kBrfSlotOver + len) != 0 || slot_at(f, off, end, s) != kBtOk ||
        s.state != kBrfFree || s.len != len || s.seq == off ||
        (s.seq != kBrfChainEnd && (s.seq < kBrfHdrSize || uint64_t(s.seq) + kBrfSlotOver > end)))
      return kBtDamaged;
    if (int e = ch.touch(off, kBrfSlotHdr)) return e;
    h.free_chain = s.seq == kBrfChainEnd ? 0 : s.seq;
    h.dead = h.dead.get() - 1;
    h.free_bytes = h.free_bytes.get() - len;
    *out = off;
    return kBtOk;
  }
  if (h.free_bytes.get() >= len) {
    BtCursor c;
    uint8_t k[8];
    free_key(k, len, 0);
    int rc = bt_seek(f->st, kBtFreeTree, k, 8, false, c);
    if (rc == kBtOk && !fits(get_be32(c.key), len)) {
      free_key(k, len + kBrfSlotOver + 1, 0);
      rc = bt_seek(f->st, kBtFreeTree, k, 8, false, c);
    }
    if (rc != kBtOk && rc != kBtNotFound) return kBtDamaged;
    if (rc == kBtOk) {
      uint32_t cap = get_be32(c.key), off = get_be32(c.key + 4);
      uint32_t end = h.end.get();
      Slot s;
      if (slot_at(f, off, end, s) != kBtOk || s.state != kBrfFree || s.len != cap) return kBtDamaged;
      uint8_t ek[8];
      std::memcpy(ek, c.key, 8);
      if (int e = bt_erase(f->st, kBtFreeTree, ek, nullptr)) return e;
      if (int e = ch.touch(off, kBrfSlotHdr)) return e;
      h.dead = h.dead.get() - 1;
      h.free_bytes = h.free_bytes.get() - cap;
      if (cap > len) {
        uint32_t rest = off + kBrfSlotOver + len, rcap = cap - len - kBrfSlotOver;
        write_hdr(f, rest, kBrfFree, rcap, 0);
        uint8_t rk[8];
        free_key(rk, rcap, rest);
        if (int e = bt_insert(f->st, kBtFreeTree, rk, rest)) return e == kBtDupKey ? int(kBtDamaged) : e;
        h.dead = h.dead.get() + 1;
        h.free_bytes = h.free_bytes.get() + rcap;
      }
      *out = off;
      return kBtOk;
    }
  }
  uint64_t end = h.end.get();
  uint64_t new_end = end + kBrfSlotOver + len;
  if (new_end + kBrfSlotHdr > kBtDataReserve) {
    f->st.err = EFBIG;
    return kBtIoError;
  }
  if (int e = bt_grow_data(f->st, new_end + kBrfSlotHdr)) return e;
  h.end = uint32_t(new_end);
  std::memset(f->st.dmap + new_end, 0, kBrfSlotHdr);
  *out = uint32_t(end);
  return kBtOk;
}

struct Keys {
  bool in[kBtTrees] = {};
  uint8_t k[kBtTrees][kBtMaxKey];
};

void keys_of(BrfFile* f, const uint8_t* rec, uint32_t len, uint32_t seq, Keys& out) {
  for (size_t t = 0; t < f->lay.keys.size(); ++t) out.in[t] = brf_key_of(f, int(t), rec, len, seq, out.k[t]);
  if (f->lay.keys.empty())
    out.in[kBtOrderTree] = brf_key_of(f, kBtOrderTree, rec, len, seq, out.k[kBtOrderTree]);
}

// Whether a unique tree holds the key for another record than rid.
int taken(BrfFile* f, int tree, const uint8_t* key, uint32_t rid, bool* yes) {
  BtCursor c;
  uint32_t n = f->key_len[tree];
  int rc = bt_seek(f->st, tree, key, n, false, c);
  *yes = false;
  if (rc == kBtNotFound) return kBtOk;
  if (rc != kBtOk) return kBtDamaged;
  *yes = std::memcmp(c.key, key, n) == 0 && c.rid != rid;
  return kBtOk;
}

uint32_t check_len(BrfFile* f, uint32_t len) {
  if (len == 0 || len > f->lay.rec_len || (!f->lay.var && len != f->lay.rec_len))
    return brf_fail(FM_ST_SYS, "%s: a record of %u bytes does not fit the file's records of %u bytes",
                f->path.c_str(), len, unsigned(f->lay.rec_len));
  return 0;
}

}  // namespace

uint32_t brf_insert(BrfFile* f, const uint8_t* rec, uint32_t len, uint32_t* rid) {
  if (uint32_t st = check_len(f, len)) return st;
  Change ch(f);
  if (uint32_t st = ch.begin()) return st;
  BrfFileHdr& h = dh(f);
  uint32_t seq = h.next_seq.get();
  Keys keys;
  keys_of(f, rec, len, seq, keys);
  for (size_t t = 0; t < f->lay.keys.size(); ++t) {
    if (!keys.in[t] || (f->lay.keys[t].flags & kBrfKeyDup)) continue;
    bool yes;
    if (int rc = taken(f, int(t), keys.k[t], 0, &yes)) return ch.bad(rc);
    if (yes) return FM_ST_DUP_KEY;
  }
  uint32_t pos;
  if (int rc = alloc_slot(ch, len, &pos)) return ch.bad(rc);
  write_slot(f, pos, kBrfLive, rec, len, seq);
  for (int t = 0; t < kBtTrees; ++t) {
    if (!keys.in[t]) continue;
    if (int rc = bt_insert(f->st, t, keys.k[t], pos)) return ch.bad(rc == kBtDupKey ? kBtDamaged : rc);
  }
  h.next_seq = seq + 1 == 0 ? 1 : seq + 1;
  h.live = h.live.get() + 1;
  if (uint32_t st = ch.commit()) return st;
  *rid = pos;
  return 0;
}

namespace {
// The record of rid inside a change: its slot, or a status.
uint32_t locate_in_change(Change& ch, uint32_t rid, Slot& s) {
  BrfFile* f = ch.f;
  uint32_t end = dh(f).end.get();
  int rc = locate(f, rid, s, end);
  if (rc == kBtNotFound) return FM_ST_NO_RECORD;
  if (rc != kBtOk) return damaged(f, "a record is damaged");
  return 0;
}
}  // namespace

uint32_t brf_update(BrfFile* f, uint32_t rid, const uint8_t* rec, uint32_t len, uint32_t want_seq) {
  if (uint32_t st = check_len(f, len)) return st;
  Change ch(f);
  if (uint32_t st = ch.begin()) return st;
  BrfFileHdr& h = dh(f);
  Slot s;
  if (uint32_t st = locate_in_change(ch, rid, s)) return st;
  if (want_seq && s.seq != want_seq) return FM_ST_NO_RECORD;
  uint32_t oldlen = s.len, seq = s.seq, pos = s.pos;
  Keys ok, nk;
  keys_of(f, s.p + kBrfSlotHdr, oldlen, seq, ok);  // before the slot is written
  keys_of(f, rec, len, seq, nk);
  bool changed[kBtTrees] = {};
  for (int t = 0; t < kBtTrees; ++t) {
    if (!ok.in[t] && !nk.in[t]) continue;
    changed[t] = ok.in[t] != nk.in[t] || std::memcmp(ok.k[t], nk.k[t], f->key_len[t]) != 0;
    if (changed[t] && nk.in[t] && t < int(f->lay.keys.size()) && !(f->lay.keys[size_t(t)].flags & kBrfKeyDup)) {
      bool yes;
      if (int rc = taken(f, t, nk.k[t], rid, &yes)) return ch.bad(rc);
      if (yes) return FM_ST_DUP_KEY;
    }
  }
  uint8_t state = pos == rid ? kBrfLive : kBrfMoved;
  uint32_t end = h.end.get();
  int rc = kBtOk;
  if (len == oldlen) {
    if ((rc = ch.touch(pos, kBrfSlotOver + len))) return ch.bad(rc);
    write_slot(f, pos, state, rec, len, seq);
  } else {
    uint64_t after = uint64_t(pos) + kBrfSlotOver + oldlen;
    Slot n;
    bool next_free = after < end && slot_at(f, uint32_t(after), end, n) == kBtOk && n.state == kBrfFree;
    uint32_t joined = next_free ? oldlen + kBrfSlotOver + n.len : 0;
    if (len < oldlen && fits(oldlen, len)) {
      // Shrinks in place; the rest becomes free.
      if ((rc = ch.touch(pos, kBrfSlotOver + oldlen))) return ch.bad(rc);
      write_slot(f, pos, state, rec, len, seq);
      if ((rc = make_free(ch, pos + kBrfSlotOver + len, oldlen - len - kBrfSlotOver))) return ch.bad(rc);
    } else if (after == end) {
      // The last slot grows or shrinks with the end of the records.
      if ((rc = ch.touch_hdr()) || (rc = ch.touch(pos, kBrfSlotOver + oldlen))) return ch.bad(rc);
      uint64_t new_end = uint64_t(pos) + kBrfSlotOver + len;
      if ((rc = bt_grow_data(f->st, new_end + kBrfSlotHdr))) return ch.bad(rc);
      write_slot(f, pos, state, rec, len, seq);
      h.end = uint32_t(new_end);
      std::memset(f->st.dmap + new_end, 0, kBrfSlotHdr);
    } else if (next_free && fits(joined, len)) {
      // Grows into the free slot that follows.
      uint8_t k[8];
      free_key(k, n.len, n.pos);
      if ((rc = ch.touch_hdr()) || (rc = bt_erase(f->st, kBtFreeTree, k, nullptr))) return ch.bad(rc);
      h.dead = h.dead.get() - 1;
      h.free_bytes = h.free_bytes.get() - n.len;
      if ((rc = ch.touch(pos, kBrfSlotOver + joined))) return ch.bad(rc);
      write_slot(f, pos, state, rec, len, seq);
      if (joined > len && (rc = make_free(ch, pos + kBrfSlotOver + len, joined - len - kBrfSlotOver)))
        return ch.bad(rc);
    } else {
      // Moves; the home slot keeps pointing at the record.
      uint32_t np;
      if ((rc = alloc_slot(ch, len, &np))) return ch.bad(rc);
      write_slot(f, np, kBrfMoved, rec, len, seq);
      if (pos != rid) {
        if ((rc = ch.touch(pos, kBrfSlotHdr)) || (rc = make_free(ch, pos, oldlen))) return ch.bad(rc);
      } else {
        h.dead = h.dead.get() + 1;
      }
      if ((rc = ch.touch(rid, kBrfSlotHdr))) return ch.bad(rc);
      BrfSlotHdr& home = rec::view<BrfSlotHdr>(f->st.dmap + rid);
      home.state = kBrfHome;
      home.seq = np;
      // The trailer of a home slot is not kept: only live records have one.
    }
  }
  for (int t = 0; t < kBtTrees; ++t) {
    if (!changed[t]) continue;
    if (ok.in[t] && (rc = bt_erase(f->st, t, ok.k[t], nullptr))) return ch.bad(rc == kBtNotFound ? kBtDamaged : rc);
    if (nk.in[t] && (rc = bt_insert(f->st, t, nk.k[t], rid))) return ch.bad(rc == kBtDupKey ? kBtDamaged : rc);
  }
  return ch.commit();
}

uint32_t brf_remove(BrfFile* f, uint32_t rid, uint32_t want_seq, int at_tree, const BtCursor* at) {
  Change ch(f);
  if (uint32_t st = ch.begin()) return st;
  BrfFileHdr& h = dh(f);
  Slot s;
  if (uint32_t st = locate_in_change(ch, rid, s)) return st;
  if (want_seq && s.seq != want_seq) return FM_ST_NO_RECORD;
  Keys ok;
  keys_of(f, s.p + kBrfSlotHdr, s.len, s.seq, ok);
  if (!at) at_tree = -1;
  // The leaves erased after the first (but the one the read found) are
  // asked for at once, so that they arrive while the first is changed
  // rather than one after the other.
  bool first = true;
  for (int t = 0; t < kBtTrees; ++t) {
    if (!ok.in[t]) continue;
    if (!first && t != at_tree) bt_prefetch_leaf(f->st, t, ok.k[t]);
    first = false;
  }
  int rc;
  for (int t = 0; t < kBtTrees; ++t) {
    if (!ok.in[t]) continue;
    rc = t == at_tree ? bt_erase_at(f->st, t, ok.k[t], rid, *at) : bt_erase(f->st, t, ok.k[t], nullptr);
    if (rc) return ch.bad(rc == kBtNotFound ? kBtDamaged : rc);
  }
  if ((rc = ch.touch_hdr()) || (rc = ch.touch(s.pos, kBrfSlotHdr)) || (rc = make_free(ch, s.pos, s.len)))
    return ch.bad(rc);
  if (s.pos != rid) {
    Slot home;
    if (slot_at(f, rid, h.end.get(), home) != kBtOk || home.state != kBrfHome) return ch.bad(kBtDamaged);
    h.dead = h.dead.get() - 1;
    if ((rc = ch.touch(rid, kBrfSlotHdr)) || (rc = make_free(ch, rid, home.len))) return ch.bad(rc);
  }
  h.live = h.live.get() - 1;
  ch.gone = rid;
  return ch.commit();
}

uint32_t brf_remove_all(BrfFile* f) {
  Change ch(f);
  if (uint32_t st = ch.begin()) return st;
  BrfFileHdr& h = dh(f);
  int rc;
  if ((rc = ch.touch_hdr()) || (rc = bt_clear(f->st))) return ch.bad(rc);
  if (h.end.get() > kBrfHdrSize && (rc = ch.touch(kBrfHdrSize, kBrfSlotHdr))) return ch.bad(rc);
  h.end = kBrfHdrSize;
  h.live = 0;
  h.dead = 0;
  h.free_bytes = 0;
  h.free_chain = 0;
  if (kBrfHdrSize + kBrfSlotHdr <= f->st.dsize) std::memset(f->st.dmap + kBrfHdrSize, 0, kBrfSlotHdr);
  ch.gone = Change::kGoneAll;
  return ch.commit();
}

// ------------------------------------------------------- create and open --
namespace {

uint32_t new_generation() {
  std::random_device rd;
  uint32_t g = rd() ^ uint32_t(::getpid()) ^ uint32_t(std::time(nullptr));
  return g ? g : 1;
}

// In sync mode, the directory's entries (a create, link or rename) reach the
// disk; 0 or an errno value.
[[nodiscard]] int sync_dir(const std::string& path) { return uio_sync_mode() ? uio_sync_dir(path) : 0; }

// A new file under a name this process alone makes and removes (a temporary
// name, or the index or journal of an empty data file held exclusively):
// whatever is left there (by a process that died, or planted by another
// user) is removed, never written through, and the file made anew.
int create_fresh(const std::string& path, int mode = kUioFileMode) {
  int fd = uio_create(path.c_str(), mode);
  if (fd < 0 && errno == EEXIST) {
    uio_unlink(path.c_str());
    fd = uio_create(path.c_str(), mode);
  }
  return fd;
}

}  // namespace

// Writes the index and journal files of a data file whose header is hdr
// (new files: what was under those names is replaced, never written through).
uint32_t brf_format_index(const std::string& ipath, const std::string& jpath, const BrfFileHdr& hdr,
                      const BrfLayout& lay, int mode, int* keep) {
  int ifd = create_fresh(ipath, mode);
  if (ifd < 0) return brf_fail(FM_ST_SYS, "%s: %s", ipath.c_str(), std::strerror(errno));
  int jfd = create_fresh(jpath, mode);
  if (jfd < 0) {
    int e = errno;
    uio_close(ifd);
    return brf_fail(FM_ST_SYS, "%s: %s", jpath.c_str(), std::strerror(e));
  }
  BtTreeDef defs[kBtTrees];
  brf_tree_defs(lay, defs);
  int e = bt_format(ifd, jfd, hdr.generation.get(), hdr.key_hash.get(), defs);
  // The index keeps a copy of the data file's header, so that a rebuild can
  // restore a damaged one.
  if (!e) e = uio_pwrite(ifd, &hdr, sizeof hdr, offsetof(BtHdr, data_hdr));
  if (!e && uio_sync_mode()) e = uio_sync(ifd);
  if (e || !keep) {
    uio_close(ifd);
    uio_close(jfd);
  } else {
    keep[0] = ifd;
    keep[1] = jfd;
  }
  if (e) return brf_fail(FM_ST_SYS, "%s: %s", ipath.c_str(), std::strerror(e));
  return 0;
}

bool brf_still_named(int fd, const std::string& path) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && uio_lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

namespace {
// Opens the data file and locks its open byte (with keep: the keep byte too,
// as the open byte); makes sure the path still names the file locked (a
// scratch or rename may have come between).
uint32_t open_data(const std::string& path, bool exclusive, bool keep, int* fd_out, bool* writable,
                   struct stat* st_out) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    bool w = true;
    int ro_why = 0;  // why the file could not be opened for writing
    int fd = uio_open(path.c_str(), O_RDWR);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
      w = false;
      ro_why = errno;
      fd = uio_open(path.c_str(), O_RDONLY);
    }
    if (fd < 0) {
      if (errno == ENOENT) return brf_fail(FM_ST_NOT_FOUND, "%s: no such file", path.c_str());
      return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(errno));
    }
    // The keep byte first: refused by kept users, the open byte is never
    // held a moment against other engines' shared opens.
    UioLock kind = exclusive ? UioLock::Write : UioLock::Read;
    int e = keep ? uio_lock(fd, kBrfKeepByte, kind, kUioNoWait, path.c_str()) : 0;
    if (!e) e = uio_lock(fd, kBrfOpenByte, kind, kUioNoWait, path.c_str());
    if (e) {
      uio_close(fd);
      if (e == EAGAIN) return brf_fail(FM_ST_BUSY, "%s is in use", path.c_str());
      // A write lock on a file opened only for reading: say why it was.
      if (e == EBADF && ro_why) e = ro_why;
      return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(e));
    }
    struct stat a, b;
    if (::fstat(fd, &a) == 0 && uio_lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
      *fd_out = fd;
      *writable = w;
      *st_out = a;
      return 0;
    }
    uio_close(fd);
  }
  return brf_fail(FM_ST_BUSY, "%s keeps changing", path.c_str());
}
}  // namespace

uint32_t brf_open_data(const std::string& path, bool exclusive, int* fd_out, bool* writable, struct stat* st_out) {
  return open_data(path, exclusive, exclusive, fd_out, writable, st_out);
}

namespace {

// A reorganisation killed between the renames of its data file and its
// index: the new index waits beside the data file (P.ix.rg). It belongs to
// the data file in place when the index in place does not while its own
// generation and its copy of the header are the data file's, the header as
// it is.
bool index_waits(const std::string& path, const BrfFileHdr& hdr, uint32_t index_gen) {
  if (index_gen == hdr.generation.get()) return false;
  int fd = uio_open((brf_index_path(path) + ".rg").c_str(), O_RDONLY);
  if (fd < 0) return false;
  BtHdr ih;
  bool ours = uio_pread(fd, &ih, sizeof ih, 0) == ssize_t(sizeof ih) && ih.magic == "QVIX" &&
              ih.generation.get() == hdr.generation.get() && std::memcmp(&ih.data_hdr, &hdr, sizeof hdr) == 0;
  uio_close(fd);
  return ours;
}

// A user who may write the file puts the waiting index in place (the
// journal waiting too, first). True when it is in place.
bool finish_reorganise(const std::string& path) {
  std::string ipath = brf_index_path(path), tipath = ipath + ".rg";
  std::string jpath = brf_journal_path(path), tjpath = jpath + ".rg";
  int e = uio_rename(tjpath.c_str(), jpath.c_str());
  if (e == ENOENT) e = 0;  // in place already
  if (!e) e = uio_rename(tipath.c_str(), ipath.c_str());
  if (!e) e = sync_dir(path);
  return e == 0;
}

void release(BrfFile* f) {
  bt_detach(f->st);
  uio_close(f->st.dfd);
  uio_close(f->st.ifd);
  uio_close(f->st.jfd);
}

// Opens the index and journal of a locked data file and checks the pair.
uint32_t attach(BrfFile* f) {
  BtStore& s = f->st;
  std::string ipath = brf_index_path(f->path), jpath = brf_journal_path(f->path);
  int mode = s.writable ? O_RDWR : O_RDONLY;
  int64_t dsize = uio_size(s.dfd);
  if (dsize < int64_t(kBrfHdrSize)) return brf_fail(FM_ST_SYS, "%s: not a native data file (too short)", f->path.c_str());
  BrfFileHdr hdr;
  if (uio_pread(s.dfd, &hdr, sizeof hdr, 0) != ssize_t(sizeof hdr))
    return brf_fail(FM_ST_SYS, "%s: %s", f->path.c_str(), std::strerror(errno));
  s.ifd = uio_open(ipath.c_str(), mode);
  if (s.ifd < 0 && errno == ENOENT) {
    // A create that died before its index was in place leaves an empty data
    // file: its index is made again. Any other file needs its index rebuilt.
    std::string why;
    BrfLayout lay;
    if (s.writable && f->open_lock == 2 && brf_decode_hdr(hdr, &lay, &why) && hdr.live.get() == 0 &&
        hdr.end.get() == kBrfHdrSize) {
      if (uint32_t st = brf_format_index(ipath, jpath, hdr, lay, kUioFileMode)) return st;
      s.ifd = uio_open(ipath.c_str(), mode);
    } else {
      return brf_fail(FM_ST_SYS, "%s: its index file is missing; rebuild it", f->path.c_str());
    }
  }
  if (s.ifd < 0) return brf_fail(FM_ST_SYS, "%s: %s", ipath.c_str(), std::strerror(errno));
  rec::U32 igen;
  if (uio_pread(s.ifd, &igen, 4, offsetof(BtHdr, generation)) == 4 && index_waits(f->path, hdr, igen.get())) {
    // A user who may only read reads the waiting index (and the journal
    // beside it, when that waits too) where it lies, renaming nothing.
    bool in_place = s.writable && finish_reorganise(f->path);
    std::string tipath = ipath + ".rg", tjpath = jpath + ".rg";
    uio_close(s.ifd);
    s.ifd = in_place ? -1 : uio_open(tipath.c_str(), mode);
    struct stat jst;
    if (s.ifd >= 0 && uio_lstat(tjpath.c_str(), &jst) == 0) jpath = tjpath;
    // (a writer that put it in place meanwhile: the index in place)
    if (s.ifd < 0) s.ifd = uio_open(ipath.c_str(), mode);
    if (s.ifd < 0) return brf_fail(FM_ST_SYS, "%s: %s", ipath.c_str(), std::strerror(errno));
  }
  s.jfd = uio_open(jpath.c_str(), mode);
  if (s.jfd < 0 && errno == ENOENT && s.writable) {
    // The journal matters only while a change is under way: a missing one is
    // made new (exclusively: whoever makes it first, it is the same).
    uint64_t counter = 1;
    if (uio_pread(s.ifd, &counter, 8, 0) == 8 && !(counter & 1)) {
      int fd = uio_create(jpath.c_str());
      if (fd >= 0) {
        BtJnlHdr j;
        std::memset(&j, 0, sizeof j);
        j.magic.set("QVJN");
        j.version = 1;
        int e = uio_pwrite(fd, &j, sizeof j, 0);
        uio_close(fd);
        if (e) {
          uio_unlink(jpath.c_str());
          return brf_fail(FM_ST_SYS, "%s: %s", jpath.c_str(), std::strerror(e));
        }
      }
      s.jfd = uio_open(jpath.c_str(), mode);
    }
  }
  if (s.jfd < 0) return brf_fail(FM_ST_SYS, "%s: %s", jpath.c_str(), std::strerror(errno));
  int rc = bt_attach(s);
  if (rc == kBtIoError) return io_fail(f, s.err);
  if (rc != kBtOk) return damaged(f, "the index file is not sound");
  // A rebuild killed before its last step is completed first.
  int done = brf_finish_rebuild(s);
  if (done == kBtIoError) return io_fail(f, s.err);
  bool waits = done == kBtBusy;
  // Check the pair on one consistent state.
  std::string why;
  uint32_t st = 0;
  rc = consistent(f, [&](bool) {
    BrfLayout lay;
    const BrfFileHdr& h = dh(f);
    if (!brf_decode_hdr(h, &lay, &why)) return int(kBtRetry);
    BtHdr& ih = bt_hdr(s);
    if (ih.generation.get() != h.generation.get() || ih.key_hash.get() != h.key_hash.get()) {
      why = "its index file belongs to another data file";
      if (waits) {
        why = "a rebuild of its index was interrupted; a user who may write the file completes it by opening it";
        return int(kBtBusy);
      }
      return int(kBtRetry);
    }
    if (h.end.get() > s.dsize) {
      bt_refresh_sizes(s);
      if (h.end.get() > s.dsize) {
        why = "the data file is shorter than its header says";
        return int(kBtRetry);
      }
    }
    if (uint64_t(ih.page_count.get()) * kBtPage > s.isize) {
      bt_refresh_sizes(s);
      if (uint64_t(ih.page_count.get()) * kBtPage > s.isize) {
        why = "the index file is shorter than its header says";
        return int(kBtRetry);
      }
    }
    if (!bt_hdr_ok(s)) {
      why = "the index file's header is damaged";
      return int(kBtRetry);
    }
    f->lay = lay;
    f->key_hash = h.key_hash.get();
    return int(kBtOk);
  });
  if (rc == kBtIoError) return io_fail(f, s.err);
  if (rc == kBtBusy) return brf_fail(FM_ST_SYS, "%s: %s", f->path.c_str(), why.c_str());
  if (rc != kBtOk) st = damaged(f, why.empty() ? "the index file is not sound" : why.c_str());
  if (st) return st;
  BtTreeDef defs[kBtTrees];
  brf_tree_defs(f->lay, defs);
  for (int t = 0; t < kBtTrees; ++t) {
    f->key_len[t] = defs[t].key_len;
    const BtTreeHdr& th = bt_hdr(s).trees[t];
    if (th.key_len.get() != defs[t].key_len || (th.flags.get() & kBtDup) != (defs[t].flags & kBtDup))
      return damaged(f, "the index file does not match the data file's keys");
  }
  return 0;
}

uint32_t open_new(const std::string& path, bool exclusive, int fd, bool writable, const struct stat& st,
                  BrfFile** out) {
  auto* f = new BrfFile;
  f->path = path;
  f->dev = st.st_dev;
  f->ino = st.st_ino;
  f->st.dfd = fd;
  f->st.writable = writable;
  f->st.name = path;
  f->st.after_recover = after_recover;
  f->open_lock = exclusive ? 2 : 1;
  if (uint32_t status = attach(f)) {
    std::string keep = g_err;
    release(f);
    delete f;
    g_err = keep;
    return status;
  }
  f->users = 1;
  f->excl_users = exclusive ? 1 : 0;
  cache().files[{f->dev, f->ino}] = f;
  *out = f;
  return 0;
}

}  // namespace

uint32_t brf_create(const std::string& path, const BrfLayout& lay, bool exclusive, BrfFile** out) {
  std::string why;
  if (!brf_layout_ok(lay, &why)) return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), why.c_str());
  if (brf_exists(path)) return brf_fail(FM_ST_EXISTS, "%s already exists", path.c_str());
  std::string tmp = path + ".cr" + std::to_string(::getpid());
  std::string ipath = brf_index_path(path), jpath = brf_journal_path(path);
  std::string itmp = ipath + ".cr" + std::to_string(::getpid()), jtmp = jpath + ".cr" + std::to_string(::getpid());
  BrfFileHdr hdr;
  encode_hdr(lay, new_generation(), hdr);
  auto cleanup = [&] {
    uio_unlink(tmp.c_str());
    uio_unlink(itmp.c_str());
    uio_unlink(jtmp.c_str());
  };
  int fd = create_fresh(tmp);
  if (fd < 0) {
    if (errno == ENOENT) return brf_fail(FM_ST_NOT_FOUND, "%s: the directory does not exist", path.c_str());
    return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(errno));
  }
  uint8_t zero[kBrfSlotHdr] = {};
  int e = uio_pwrite(fd, &hdr, sizeof hdr, 0);
  if (!e) e = uio_pwrite(fd, zero, sizeof zero, kBrfHdrSize);
  if (!e) e = uio_lock(fd, kBrfOpenByte, UioLock::Write, kUioNoWait, path.c_str());
  if (!e && exclusive) e = uio_lock(fd, kBrfKeepByte, UioLock::Write, kUioNoWait, path.c_str());
  if (!e && uio_sync_mode()) e = uio_sync(fd);
  if (e) {
    uio_close(fd);
    cleanup();
    return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(e));
  }
  if (uint32_t st = brf_format_index(itmp, jtmp, hdr, lay, kUioFileMode)) {
    uio_close(fd);
    cleanup();
    return st;
  }
  // The data file's link is the moment the file exists; until its index is
  // in place its open byte is held, so others see it busy.
  if (int err = uio_link(tmp.c_str(), path.c_str())) {
    uio_close(fd);
    cleanup();
    if (err == EEXIST) return brf_fail(FM_ST_EXISTS, "%s already exists", path.c_str());
    return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(err));
  }
  struct stat st, linked;
  // The name linked must be the file made here (another user may have
  // swapped the temporary name in between).
  bool same = ::fstat(fd, &st) == 0 && uio_lstat(path.c_str(), &linked) == 0 && st.st_dev == linked.st_dev &&
              st.st_ino == linked.st_ino;
  int err = same ? 0 : EPERM;
  if (!err) err = uio_rename(itmp.c_str(), ipath.c_str());
  if (!err) err = uio_rename(jtmp.c_str(), jpath.c_str());
  if (!err) {
    uio_unlink(tmp.c_str());
    err = sync_dir(path);
  }
  if (err) {
    if (same) uio_unlink(path.c_str());
    uio_close(fd);
    cleanup();
    if (!same) return brf_fail(FM_ST_SYS, "%s: its temporary file was replaced by another user", path.c_str());
    return brf_fail(FM_ST_SYS, "%s: %s", ipath.c_str(), std::strerror(err));
  }
  // From the write lock to a read lock on a byte this process holds: no wait.
  if (!exclusive) static_cast<void>(uio_lock(fd, kBrfOpenByte, UioLock::Read, kUioNoWait, path.c_str()));
  return open_new(path, exclusive, fd, true, st, out);
}

uint32_t brf_open(const std::string& path, bool exclusive, BrfFile** out) {
  struct stat st;
  if (BrfFile* f = cached(path, &st)) {
    if (f->excl_users > 0 || (exclusive && f->users > 0)) return brf_fail(FM_ST_BUSY, "%s is in use", path.c_str());
    // Kept users alone hold no open byte: a user that is not kept takes it.
    if (f->open_lock == 0) {
      int e = uio_lock(f->st.dfd, kBrfOpenByte, UioLock::Read, kUioNoWait, path.c_str());
      if (e == EAGAIN) return brf_fail(FM_ST_BUSY, "%s is in use", path.c_str());
      if (e) return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(e));
      f->open_lock = 1;
    }
    ++f->users;
    *out = f;
    return 0;
  }
  int fd;
  bool writable;
  if (uint32_t status = brf_open_data(path, exclusive, &fd, &writable, &st)) return status;
  return open_new(path, exclusive, fd, writable, st, out);
}

void brf_close(BrfFile* f, bool exclusive, bool kept) {
  if (!f) return;
  if (exclusive && f->excl_users > 0) --f->excl_users;
  if (kept && f->kept_users > 0) --f->kept_users;
  if (--f->users > 0) {
    // The other users go on: the bytes this user alone needed go.
    if (kept && f->kept_users == 0 && f->excl_users == 0) static_cast<void>(uio_unlock(f->st.dfd, kBrfKeepByte));
    if (!kept && f->users == f->kept_users && f->open_lock == 1) {
      static_cast<void>(uio_unlock(f->st.dfd, kBrfOpenByte));
      f->open_lock = 0;
    }
    return;
  }
  cache().files.erase({f->dev, f->ino});
  release(f);  // closing the files drops every lock of this process on them
  delete f;
}

uint32_t brf_keep(BrfFile* f) {
  if (f->excl_users > 0 || f->users <= f->kept_users)
    return brf_fail(FM_ST_SYS, "%s: only a shared user is kept", f->path.c_str());
  // This process holds the open byte, so nobody holds the keep byte to write.
  if (f->kept_users == 0)
    if (int e = uio_lock(f->st.dfd, kBrfKeepByte, UioLock::Read, kUioNoWait, f->path.c_str()))
      return brf_fail(FM_ST_SYS, "%s: %s", f->path.c_str(), std::strerror(e));
  ++f->kept_users;
  if (f->users == f->kept_users && f->open_lock == 1) {
    static_cast<void>(uio_unlock(f->st.dfd, kBrfOpenByte));
    f->open_lock = 0;
  }
  return 0;
}

bool brf_exists(const std::string& path) {
  struct stat st;
  return uio_lstat(path.c_str(), &st) == 0;  // a link, even a dangling one, takes the name
}

uint32_t brf_scratch(const std::string& path) {
  if (cached(path, nullptr)) return brf_fail(FM_ST_SCRATCH_OPEN, "%s is open", path.c_str());
  int fd;
  bool w;
  struct stat st;
  // The open byte alone: users kept for reading go on reading the file.
  uint32_t status = open_data(path, true, false, &fd, &w, &st);
  if (status == FM_ST_BUSY) return brf_fail(FM_ST_SCRATCH_OPEN, "%s is open", path.c_str());
  if (status) return status;
  // Only a native data file is removed (with its index and journal).
  uint8_t head[8];
  if (uio_pread(fd, head, sizeof head, 0) != ssize_t(sizeof head) || std::memcmp(head + 4, "QVDF", 4) != 0) {
    uio_close(fd);
    return brf_fail(FM_ST_SYS, "%s: not a native data file: not removed", path.c_str());
  }
  int err = 0;
  err = uio_unlink(path.c_str());
  uio_unlink(brf_index_path(path).c_str());
  uio_unlink(brf_journal_path(path).c_str());
  if (!err) err = sync_dir(path);
  uio_close(fd);
  if (err) return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(err));
  return 0;
}

uint32_t brf_rename(const std::string& from, const std::string& to) {
  if (cached(from, nullptr) || cached(to, nullptr)) return brf_fail(FM_ST_NO_RENAME, "%s is open", from.c_str());
  // Opening it exclusively finishes any change a dead process left.
  BrfFile* f;
  if (uint32_t st = brf_open(from, true, &f)) return st == FM_ST_BUSY ? FM_ST_NO_RENAME : st;
  if (brf_exists(to)) {
    brf_close(f, true);
    return brf_fail(FM_ST_NO_RENAME, "%s exists", to.c_str());
  }
  int err = uio_rename(from.c_str(), to.c_str());
  if (!err) err = uio_rename(brf_index_path(from).c_str(), brf_index_path(to).c_str());
  if (!err) err = uio_rename(brf_journal_path(from).c_str(), brf_journal_path(to).c_str());
  if (!err) err = sync_dir(to);
  if (!err && to.substr(0, to.find_last_of('/') + 1) != from.substr(0, from.find_last_of('/') + 1))
    err = sync_dir(from);
  brf_close(f, true);
  if (err == EXDEV) return brf_fail(FM_ST_NO_RENAME, "%s and %s are on different file systems", from.c_str(), to.c_str());
  if (err) return brf_fail(FM_ST_SYS, "%s: %s", from.c_str(), std::strerror(err));
  return 0;
}

bool brf_is_open(const std::string& path) { return cached(path, nullptr) != nullptr; }

bool brf_hdr_copy(const BtHdr& ih, BrfFileHdr* out, BrfLayout* lay) {
  BrfFileHdr h;
  std::memcpy(&h, &ih.data_hdr, sizeof h);
  if (!brf_decode_hdr(h, lay, nullptr)) return false;
  if (out) *out = h;
  return true;
}

namespace {
// The header a rebuild killed before its last step left to be taken from
// the index in place (false when none waits).
bool rebuilt_hdr(BtStore& s, BrfFileHdr* out) {
  if (s.dsize < kBrfHdrSize) return false;
  BrfFileHdr h;
  std::memcpy(&h, s.dmap, sizeof h);
  BtHdr& ih = bt_hdr(s);
  uint32_t g = ih.generation.get();
  if (g == 0 || h.next_gen.get() != g || h.generation.get() == g) return false;
  BrfFileHdr c;
  // The header names it, and the copy is the same file's: its own layout,
  // sound, of that generation, with nothing further pending.
  if (!brf_decode_hdr(h, nullptr, nullptr) || !brf_hdr_copy(ih, &c, nullptr)) return false;
  if (c.generation.get() != g || c.next_gen.get() != 0 || c.key_hash.get() != h.key_hash.get() ||
      c.rec_len.get() != h.rec_len.get() || c.var.get() != h.var.get() || c.key_hash.get() != ih.key_hash.get())
    return false;
  *out = c;
  return true;
}
}  // namespace

int brf_finish_rebuild(BtStore& s) {
  BrfFileHdr c;
  // A change left unfinished (this very step, killed) is rolled back first.
  bool dead = bt_counter(s) & 1;
  if (!dead && !rebuilt_hdr(s, &c)) return kBtNotFound;
  if (!s.writable) return dead ? int(kBtNotFound) : int(kBtBusy);
  if (int rc = bt_begin(s)) return rc;
  // Another process may have completed it while this one waited.
  if (!rebuilt_hdr(s, &c)) return bt_abort(s) == kBtOk ? int(kBtNotFound) : int(kBtIoError);
  if (int rc = bt_touch_data(s, 0, kBrfHdrSize)) {
    static_cast<void>(bt_abort(s));
    return rc;
  }
  std::memcpy(s.dmap, &c, sizeof c);
  return bt_commit(s);
}

// ------------------------------------------------------ reorganisation --
std::string brf_reorg_path(const std::string& path) { return path + ".rg"; }

namespace {
constexpr uint32_t kReorgChunk = 1 << 20;  // bytes of new slots written at a time

// The used trees of a layout (brf_tree_defs), the free-space tree left out.
bool entered_tree(const BrfFile* f, int t) { return t != kBtFreeTree && f->key_len[t] != 0; }
}  // namespace

uint32_t brf_reorganise(const std::string& path, BrfReorganised* out) {
  BrfReorganised local;
  if (!out) out = &local;
  *out = BrfReorganised{};
  if (cached(path, nullptr)) return brf_fail(FM_ST_BUSY, "%s is open in this process", path.c_str());
  // Opened alone: a change a dead process left is rolled back, an earlier
  // rebuild or reorganisation that was interrupted is completed.
  BrfFile* f;
  if (uint32_t st = brf_open(path, true, &f)) return st;
  std::string ipath = brf_index_path(path), jpath = brf_journal_path(path);
  std::string tpath = brf_reorg_path(path), tipath = ipath + ".rg", tjpath = jpath + ".rg";
  int tfd = -1;
  uint8_t* tmap = nullptr;  // the new data file, written through a mapping
  volatile sig_atomic_t tcut = 0;  // it was cut short by another user (uio_map)
  BtStore ns;
  bool placed = false;  // the new data file is in place: what waits beside it must stay
  // Ends the run, on a failure or an unwind too: the new files go unless the
  // data file is in place, and the files close (their locks with them).
  auto end = [&] {
    bt_detach(ns);
    uio_close(ns.ifd);
    uio_close(ns.jfd);
    ns.ifd = ns.jfd = -1;
    if (!placed) {
      uio_unlink(tpath.c_str());
      uio_unlink(tipath.c_str());
      uio_unlink(tjpath.c_str());
    }
    brf_close(f, true);
    uio_unmap(tmap, kBtDataReserve);
    tmap = nullptr;
    uio_close(tfd);
  };
  struct Guard {
    decltype(end)& run;
    bool armed = true;
    ~Guard() {
      if (armed) run();
    }
  } guard{end};
  auto fail = [&](uint32_t status) {
    guard.armed = false;
    end();
    return status;
  };
  if (!f->st.writable) return fail(brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(EACCES)));
  BrfFileHdr old;
  std::memcpy(&old, f->st.dmap, sizeof old);
  out->size_before = uint64_t(old.end.get()) + kBrfSlotHdr;
  // The new data file is held alone from the start, so that no one opens it
  // before its index is in place. Its files are written through mappings, a
  // store past a file's end faults: no one else may open them for writing
  // (to cut one short) until they are complete.
  tfd = create_fresh(tpath, 0600);
  if (tfd < 0) return fail(brf_fail(FM_ST_SYS, "%s: %s", tpath.c_str(), std::strerror(errno)));
  if (int e = uio_lock(tfd, kBrfOpenByte, UioLock::Write, kUioNoWait, tpath.c_str()))
    return fail(brf_fail(FM_ST_SYS, "%s: %s", tpath.c_str(), std::strerror(e)));
  // Written through a mapping as writers store (uio_map): its pages enter
  // the page cache one at a time. Pages a write() brings in may be kept in
  // large units, and a writer's store into one page of such a unit dirties
  // the whole unit: each later change at a scattered place would walk and
  // flush a unit of up to a megabyte. The view of each written chunk's
  // whole pages is let go at once, so that the run's resident set does not
  // grow with the new file.
  tmap = uio_map(tfd, kBtDataReserve, true, &tcut);
  if (!tmap) return fail(brf_fail(FM_ST_SYS, "%s: %s", tpath.c_str(), std::strerror(errno)));

  // The records in the walk's order, each slot as a live record at its home,
  // and the entries of every tree under the new ids.
  int walk = f->lay.keys.empty() ? kBtOrderTree : 0;
  std::vector<uint8_t> ents[kBtTrees];
  std::vector<uint8_t> chunk;
  chunk.reserve(kReorgChunk + kBrfMaxRec + kBrfSlotOver);
  std::vector<uint8_t> rec(kBrfMaxRec);
  std::vector<uint32_t> old_ids;
  old_ids.reserve(std::min<uint64_t>(old.live.get(), (old.end.get() - kBrfHdrSize) / kBrfSlotOver));
  uint64_t pos = kBrfHdrSize, written = kBrfHdrSize, let_go = 0;
  uint8_t kb[kBtMaxKey];
  uint8_t prev[kBtMaxKey];
  uint32_t wlen = f->key_len[walk];
  BtCursor c;
  BrfRead r;
  r.buf = rec.data();
  r.cap = kBrfMaxRec;
  uint8_t none = 0;
  uint32_t st = brf_seek(f, walk, &none, 0, BrfSeek::AtLeast, c, r);
  auto flush = [&] {
    int e = uio_grow(tfd, written + chunk.size());
    if (!e) std::memcpy(tmap + written, chunk.data(), chunk.size());
    written += chunk.size();
    uint64_t whole = written / kBtPage * kBtPage;
    uio_map_release(tmap + let_go, whole - let_go);
    let_go = whole;
    chunk.clear();
    return e;
  };
  for (; st == 0; st = brf_next(f, walk, c, r)) {
    // The walk must meet every record once, in ascending order.
    if (old_ids.size() >= old.live.get() || (!old_ids.empty() && std::memcmp(prev, c.key, wlen) >= 0))
      return fail(damaged(f, "its index does not match its records"));
    std::memcpy(prev, c.key, wlen);
    if (pos + kBrfSlotOver + r.len + kBrfSlotHdr > kBtDataReserve)
      return fail(damaged(f, "its index does not match its records"));
    uint32_t rid = uint32_t(pos);
    size_t at = chunk.size();
    chunk.resize(at + kBrfSlotOver + r.len);
    uint8_t* slot = chunk.data() + at;
    BrfSlotHdr& h = rec::view<BrfSlotHdr>(slot);
    h.state = kBrfLive;
    h.spare = 0;
    h.short_len = 0;
    h.len = r.len;
    h.seq = r.seq;
    std::memcpy(slot + kBrfSlotHdr, r.buf, r.len);
    rec::view<rec::U32>(slot + kBrfSlotHdr + r.len) = brf_slot_sum(slot, r.len);
    pos += kBrfSlotOver + r.len;
    old_ids.push_back(r.rid);
    for (int t = 0; t < kBtTrees; ++t) {
      if (!entered_tree(f, t) || !brf_entry_of(f, t, r, kb)) continue;
      std::vector<uint8_t>& e = ents[t];
      size_t n = e.size();
      e.resize(n + f->key_len[t] + 4);
      std::memcpy(e.data() + n, kb, f->key_len[t]);
      std::memcpy(e.data() + n + f->key_len[t], &rid, 4);
    }
    if (chunk.size() >= kReorgChunk)
      if (int e = flush()) return fail(brf_fail(FM_ST_SYS, "%s: %s", tpath.c_str(), std::strerror(e)));
  }
  if (st != FM_ST_EOF) return fail(st);
  std::sort(old_ids.begin(), old_ids.end());
  if (old_ids.size() != old.live.get() || std::adjacent_find(old_ids.begin(), old_ids.end()) != old_ids.end())
    return fail(damaged(f, "its index does not match its records"));
  chunk.insert(chunk.end(), kBrfSlotHdr, 0);  // the end of the records
  if (int e = flush()) return fail(brf_fail(FM_ST_SYS, "%s: %s", tpath.c_str(), std::strerror(e)));

  // Its header: the old one under a new generation, with the new counts.
  BrfFileHdr nh = old;
  uint32_t gen = new_generation();
  while (gen == old.generation.get()) gen = new_generation();
  nh.generation = gen;
  nh.end = uint32_t(pos);
  nh.live = uint32_t(old_ids.size());
  nh.dead = 0;
  nh.free_bytes = 0;
  nh.free_chain = 0;
  nh.next_gen = 0;
  nh.sum = brf_hdr_sum(nh);
  std::memcpy(tmap, &nh, sizeof nh);

  // Its index, each tree's entries in order.
  // (Kept open from their making: never opened again by name.)
  int made[2];
  if (uint32_t status = brf_format_index(tipath, tjpath, nh, f->lay, 0600, made)) return fail(status);
  ns.dfd = tfd;
  ns.writable = true;
  ns.name = path;
  ns.ifd = made[0];
  ns.jfd = made[1];
  auto unwritten = [&] { return fail(brf_fail(FM_ST_SYS, "%s: the new index cannot be written", path.c_str())); };
  if (ns.ifd < 0 || ns.jfd < 0 || bt_attach(ns) != kBtOk || bt_begin(ns) != kBtOk) return unwritten();
  for (int t = 0; t < kBtTrees; ++t) {
    if (!entered_tree(f, t)) continue;
    uint32_t k = f->key_len[t], esize = k + 4;
    const uint8_t* e = ents[t].data();
    size_t n = ents[t].size() / esize;
    std::vector<uint32_t> order(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    if (t != walk)
      std::sort(order.begin(), order.end(),
                [&](uint32_t a, uint32_t b) { return std::memcmp(e + size_t(a) * esize, e + size_t(b) * esize, k) < 0; });
    for (uint32_t i : order) {
      uint32_t rid;
      std::memcpy(&rid, e + size_t(i) * esize + k, 4);
      if (int rc = bt_insert(ns, t, e + size_t(i) * esize, rid)) {
        static_cast<void>(bt_abort(ns));
        if (rc == kBtDupKey) return fail(damaged(f, "a unique key repeats among its records"));
        return unwritten();
      }
    }
    std::vector<uint8_t>().swap(ents[t]);
  }
  int e = bt_commit(ns) == kBtOk ? 0 : (ns.err ? ns.err : EIO);
  // Its counter starts past the old index's, and its journal empty: nothing
  // in any journal can be taken for one of its changes.
  if (!e) bt_hdr(ns).counter = (bt_counter(f->st) | 1) + 3;
  if (!e && ::ftruncate(ns.jfd, sizeof(BtJnlHdr)) != 0) e = errno;
  // Complete: the group's again, as every data file is.
  for (int fd : {tfd, ns.ifd, ns.jfd})
    if (!e && ::fchmod(fd, kUioFileMode) != 0) e = errno;
  if (!e && uio_sync_mode()) {
    e = uio_sync(tfd);
    if (!e) e = uio_sync(ns.ifd);
    if (!e) e = uio_sync(ns.jfd);
  }
  bt_detach(ns);
  if (e) return fail(brf_fail(FM_ST_SYS, "%s: the new index cannot be written: %s", path.c_str(), std::strerror(e)));
  if (tcut || ns.cut || f->st.cut) return fail(brf_fail(FM_ST_SYS, "%s: the file was cut short while it was reorganised", path.c_str()));
  // What goes in place is what was written: a file another user put under
  // one of the names meanwhile is never renamed over the file's own.
  if (!brf_still_named(tfd, tpath) || !brf_still_named(ns.ifd, tipath) || !brf_still_named(ns.jfd, tjpath))
    return fail(brf_fail(FM_ST_SYS, "%s: its new files were replaced while written", path.c_str()));

  // In place: the data file first. From its rename on the new records are
  // the file's, and an open completes what is left.
  if (int err = uio_rename(tpath.c_str(), path.c_str()))
    return fail(brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(err)));
  placed = true;
  int err = uio_rename(tjpath.c_str(), jpath.c_str());
  if (!err) err = uio_rename(tipath.c_str(), ipath.c_str());
  if (!err) err = sync_dir(path);
  guard.armed = false;
  end();
  if (err)
    return brf_fail(FM_ST_SYS, "%s: the reorganised records are in place, but not yet their index (%s): opening the "
                               "file completes it",
                    path.c_str(), std::strerror(err));
  out->records = uint32_t(old_ids.size());
  out->size_after = pos + kBrfSlotHdr;
  return 0;
}

bool brf_is_native_file(const std::string& path) {
  if (brf_is_open(path)) return true;
  // A descriptor of this process on the file would lose its locks when this
  // one closed: the cache above answers for every file open here.
  int fd = uio_open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  uint8_t head[8];
  bool yes = uio_pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) && std::memcmp(head + 4, "QVDF", 4) == 0;
  uio_close(fd);
  return yes;
}

// ================================================ the native back end ==
// The file manager's handler table over the functions above. Each handle
// (the open handle and the streams attached to it) has its own position and
// holds at most one record; the open handle owns the file's open.
namespace {

enum { kBefore, kAt, kSeekGe, kSeekGt, kEnd };

struct NH {
  FmArb* arb = nullptr;
  BrfFile* f = nullptr;
  bool owner = false;  // the open handle: it holds the file's open
  bool excl = false;
  bool kept = false;   // kept for reading (fm_keep): writes refused
  uint32_t held = 0;   // record held by this handle
  uint32_t held_seq = 0;  // its write sequence when the hold was taken
  // The record the last read with hold delivered, held or not: a rewrite or
  // delete changes the held record only while it is this one (a read whose
  // hold was refused delivers a record it does not hold).
  uint32_t hold_target = 0;
  int st = kBefore;
  int tree = 0;
  uint32_t rid = 0;    // current record (kAt)
  BtCursor cur;        // its entry (kAt)
  uint8_t seek[kBtMaxKey];
  uint32_t seek_len = 0;
  int pass = FM_PASS_END;  // the pass under way (fm_read_pass)
};

struct Native {
  std::vector<NH*> hs{nullptr};
  std::vector<uint32_t> free_ids;
  std::map<BrfFile*, std::pair<FmKdb*, int>> kdbs;  // the file's own descriptors, users
  std::vector<uint8_t> buf = std::vector<uint8_t>(kBrfMaxRec + 1);
};
Native& NV() {
  static Native n;
  return n;
}

NH* nh(const FmArb* a) {
  uint32_t id = a->be_id;
  return id && id < NV().hs.size() ? NV().hs[id] : nullptr;
}

int status(FmArb* a, uint32_t st) {
  if (st == FM_ST_SYS) la_sys_err(brf_error().c_str(), 0);
  a->status = st;
  return 0;
}
int status(FmFdb* d, uint32_t st) {
  if (st == FM_ST_SYS) la_sys_err(brf_error().c_str(), 0);
  d->status = st;
  return 0;
}

bool path_of(FmFdb* d, std::string* p) { return fm_os_path(d, p) != 0; }

BrfLayout layout_of(const FmFdb& d, const FmKdb* kdb) {
  BrfLayout lay;
  lay.rec_len = d.rec_len;
  lay.var = d.var ? 1 : 0;
  lay.stamp[0] = d.stamp[0];
  lay.stamp[1] = d.stamp[1];
  for (int i = 0; i < d.key_count && kdb; ++i) {
    BrfKeyDef k;
    k.key_no = kdb[i].key_no;
    if (kdb[i].flags & FM_KEY_DUP) k.flags |= kBrfKeyDup;
    // Null keys are left out of keys after the first (by place: the key
    // number byte of a descriptor need not be its place).
    if ((kdb[i].flags & FM_KEY_NULL_SUPP) && i > 0) k.flags |= kBrfKeyNullSupp;
    const FmSdb* s = kdb[i].segs.get();
    for (int j = 0; j < kdb[i].seg_count && s; ++j) {
      BrfSeg g;
      g.offset = s[j].offset.get();
      g.length = s[j].length.get();
      g.type = s[j].type.get();
      g.order = s[j].order.get() == '-' ? '-' : '+';
      k.segs.push_back(g);
    }
    lay.keys.push_back(k);
  }
  lay.org = lay.keys.empty() ? 2 : 3;
  return lay;
}

// The file's own key descriptors, in the file manager's pool, for as long
// as a handle has the file open.
FmKdb* file_kdb(BrfFile* f) {
  auto& e = NV().kdbs[f];
  ++e.second;
  if (e.first || f->lay.keys.empty()) return e.first;
  size_t nseg = 0;
  for (const BrfKeyDef& k : f->lay.keys) nseg += k.segs.size();
  size_t n = f->lay.keys.size();
  auto* block = static_cast<uint8_t*>(MM_ALLOC(fmi::pool(), n * sizeof(FmKdb) + nseg * sizeof(FmSdb)));
  auto* kd = reinterpret_cast<FmKdb*>(block);
  auto* sd = reinterpret_cast<FmSdb*>(block + n * sizeof(FmKdb));
  for (size_t i = 0; i < n; ++i) {
    const BrfKeyDef& k = f->lay.keys[i];
    kd[i] = fm_kdb;
    kd[i].key_no = k.key_no;
    kd[i].order = '+';
    kd[i].key_len = uint16_t(k.len());
    uint8_t fl = 0;
    if (k.flags & kBrfKeyDup) fl |= FM_KEY_DUP;
    if (k.flags & kBrfKeyNullSupp) fl |= FM_KEY_NULL_SUPP;
    if (k.key_no == 0) fl |= FM_KEY_PRIMARY;
    kd[i].flags = fl;
    kd[i].seg_count = uint8_t(k.segs.size());
    kd[i].segs.set(sd);
    for (const BrfSeg& g : k.segs) {
      init_sdb_func(sd, 0, g.offset.get(), g.length.get(), g.type.get(), g.order.get());
      ++sd;
    }
  }
  e.first = kd;
  return kd;
}

void drop_kdb(BrfFile* f) {
  auto it = NV().kdbs.find(f);
  if (it == NV().kdbs.end()) return;
  if (--it->second.second > 0) return;
  if (it->second.first) mm_free(it->second.first);
  NV().kdbs.erase(it);
}

void unhold(NH* h) {
  if (h->held && h->f) brf_unhold(h->f, h, h->held);
  h->held = 0;
}

void end_pass(NH* h) {
  if (h->pass != FM_PASS_END && h->f) {
    bt_pass_end(h->f->st, h->pass == FM_PASS_SCATTERED);
    // The last scattered pass gives its copies' memory back.
    if (!h->f->st.pass_scattered) h->f->copy = BrfFile::Copies{};
  }
  h->pass = FM_PASS_END;
}

// Describes the open file in the file block and checks the caller's
// structure against it; 1, or 0 with 200630.
int bind_open(FmArb* a, BrfFile* f, bool excl) {
  FmFdb& d = a->file->fdb;
  const BrfLayout& lay = f->lay;
  if (!(d.options & FM_OPT_NO_STRUCT)) {
    bool want = !(d.stamp[0] == 0xFFFFFFFFu && d.stamp[1] == 0xFFFFFFFFu);
    bool have = !(lay.stamp[0] == 0xFFFFFFFFu && lay.stamp[1] == 0xFFFFFFFFu);
    bool differ = want && have && (d.stamp[0] != lay.stamp[0] || d.stamp[1] != lay.stamp[1]);
    // A caller that describes the keys must describe the file's keys.
    if (!differ && d.key_count && a->file->kdb)
      differ = !brf_layout_equal(layout_of(d, a->file->kdb.get()), lay);
    if (differ) {
      brf_close(f, excl);
      return status(a, FM_ST_STRUCT);
    }
  }
  NH* h = nh(a);
  h->f = f;
  h->owner = true;
  h->excl = excl;
  d.rec_len = lay.rec_len;
  d.var = lay.var;
  d.key_count = uint8_t(lay.keys.size());
  d.org = lay.keys.empty() ? FM_ORG_PLAIN : FM_ORG_KEYED;
  d.stamp[0] = lay.stamp[0];
  d.stamp[1] = lay.stamp[1];
  FmKdb* mine = file_kdb(f);
  if (!d.key_count || !a->file->kdb) d.kdb.set(mine);
  return 1;
}

int n_alloc_id(FmArb* a) {
  Native& n = NV();
  NH* h = new NH;
  h->arb = a;
  uint32_t id;
  if (!n.free_ids.empty()) {
    id = n.free_ids.back();
    n.free_ids.pop_back();
    n.hs[id] = h;
  } else {
    id = uint32_t(n.hs.size());
    n.hs.push_back(h);
  }
  a->be_id = id;
  return 1;
}

void n_free_id(FmArb* a) {
  NH* h = nh(a);
  if (!h) return;
  unhold(h);
  end_pass(h);
  if (h->owner && h->f) {
    drop_kdb(h->f);
    brf_close(h->f, h->excl, h->kept);
  }
  NV().hs[a->be_id] = nullptr;
  NV().free_ids.push_back(a->be_id);
  a->be_id = 0;
  delete h;
}

int n_open(FmArb* a) {
  FmFdb& d = a->file->fdb;
  std::string path;
  if (!path_of(&d, &path)) return status(a, d.status);
  bool excl = d.share < 2;
  BrfFile* f;
  if (uint32_t st = brf_open(path, excl, &f)) return status(a, st);
  return bind_open(a, f, excl);
}

int n_create(FmArb* a) {
  FmFdb& d = a->file->fdb;
  std::string path;
  if (!path_of(&d, &path)) return status(a, d.status);
  if (!fmi::make_dirs(path)) {
    brf_fail(FM_ST_SYS, "cannot make the directory of %s: %s", path.c_str(), std::strerror(errno));
    return status(a, FM_ST_SYS);
  }
  bool excl = d.share < 2;
  BrfLayout lay = layout_of(d, a->file->kdb.get());
  BrfFile* f;
  uint32_t st = brf_create(path, lay, excl, &f);
  if (st == FM_ST_EXISTS && (d.options & FM_OPT_CREATE)) return n_open(a);
  if (st) return status(a, st);
  return bind_open(a, f, excl);
}

int n_attach(FmArb*, FmArb* s) {
  NH* p = nh(s->parent.get());
  NH* h = nh(s);
  if (!p || !p->f || !h) return status(s, FM_ST_NO_STREAM);
  h->f = p->f;
  h->tree = p->tree;
  h->kept = p->kept;
  return 1;
}

int n_close(FmArb* req, FmArb*) {
  if (NH* h = nh(req)) {
    unhold(h);
    end_pass(h);
  }
  return 1;
}

void n_pass(FmArb* a, int how) {
  NH* h = nh(a);
  if (!h || !h->f || h->pass == how) return;
  end_pass(h);
  if (how != FM_PASS_WALK && how != FM_PASS_SCATTERED) return;
  h->pass = how;
  bt_pass_begin(h->f->st, how == FM_PASS_SCATTERED);
}

int n_locate(FmFdb* d) {
  std::string path;
  if (!path_of(d, &path)) return 0;
  return brf_exists(path) ? 1 : status(d, FM_ST_NOT_FOUND);
}

int n_scratch(FmFdb* d) {
  std::string path;
  if (!path_of(d, &path)) return 0;
  if (uint32_t st = brf_scratch(path)) return status(d, st);
  return 1;
}

int n_rename(FmFdb* from, FmFdb* to) {
  std::string pf, pt;
  if (!path_of(from, &pf)) return status(to, from->status);
  if (!path_of(to, &pt)) return 0;
  if (!brf_exists(pf)) return status(to, FM_ST_NOT_FOUND);
  if (!fmi::make_dirs(pt)) return status(to, FM_ST_NO_RENAME);
  if (uint32_t st = brf_rename(pf, pt)) return status(to, st);
  return 1;
}

int n_nam(FmArb* a, FmName* out) {
  NH* h = nh(a);
  if (!h || !h->f) return 0;
  if (out) *out = FmName{h->f->path.c_str(), h->f->path.size()};
  return 1;
}

int tree_for(NH* h, const FmArb* a) {
  int n = int(h->f->lay.keys.size());
  if (n == 0) return kBtOrderTree;
  return a->key_no < n ? a->key_no : -1;
}

// Places the handle on a record just read (its entry in the tree).
void place(NH* h, int tree, const BrfRead& r) {
  h->tree = tree;
  h->rid = r.rid;
  h->cur.stamp = 1;
  h->cur.rid = r.rid;
  h->st = brf_entry_of(h->f, tree, r, h->cur.key) ? kAt : kBefore;
}

enum { kDone = 1, kGone = 2 };

// A cursor's place and the compared bytes of its entry (the rest of its key
// buffer is not copied).
void copy_cursor(BtCursor& to, const BtCursor& from, uint32_t klen) {
  to.page = from.page;
  to.idx = from.idx;
  to.stamp = from.stamp;
  to.rid = from.rid;
  std::memcpy(to.key, from.key, std::min<uint32_t>(klen, kBtMaxKey));
}

// Holds (when asked) and delivers a record found at a tree entry (at: the
// cursor on that entry, or null). kGone when the record went away before
// the hold was taken.
int take(FmArb* a, NH* h, int tree, BrfRead& r, const BtCursor* at, int* rc) {
  BrfFile* f = h->f;
  uint16_t op = a->op;
  uint32_t hold = 0;
  bool fresh = false;
  if (op & FM_OP_HOLD) {
    int wait = kUioNoWait;
    if (op & FM_OP_WAIT) wait = a->lock_wait > 0 ? int(a->lock_wait) : kUioWaitForever;
    hold = brf_hold(f, h, r.rid, wait);
    if (hold == 0) {
      // The record as it is now that it is held.
      uint32_t st = brf_read_rid(f, r.rid, r);
      if (st == FM_ST_NO_RECORD) {
        brf_unhold(f, h, r.rid);
        return kGone;
      }
      if (st) {
        brf_unhold(f, h, r.rid);
        *rc = status(a, st);
        return kDone;
      }
      if (h->held && h->held != r.rid) brf_unhold(f, h, h->held);
      h->held = r.rid;
      h->held_seq = r.seq;
      fresh = true;
    } else if (hold == FM_ST_SYS) {
      *rc = status(a, hold);
      return kDone;
    }
  }
  if (at && !fresh) {
    if (at != &h->cur) copy_cursor(h->cur, *at, f->key_len[tree]);
    h->tree = tree;
    h->rid = r.rid;
    h->st = kAt;
  } else {
    // Its entry as the record is now (a held record may have changed).
    place(h, tree, r);
    if (at && at != &h->cur && h->st == kAt && std::memcmp(at->key, h->cur.key, f->key_len[tree]) == 0)
      copy_cursor(h->cur, *at, f->key_len[tree]);  // unchanged: keep the walk's place in its page
  }
  a->rid = r.rid;
  a->rid_len = 4;
  if (op & FM_OP_HOLD) h->hold_target = r.rid;
  int d = fmi::deliver(a, r.buf, r.len);
  if (hold) {
    a->status = hold;
    *rc = 0;
  } else {
    *rc = d;
  }
  return kDone;
}

int n_read(FmArb*, FmArb* a) {
  NH* h = nh(a);
  BrfFile* f = h->f;
  uint16_t op = a->op;
  int tree = tree_for(h, a);
  if (tree < 0) return status(a, FM_ST_SYS);
  bool keyed = !f->lay.keys.empty();
  for (int attempt = 0; attempt < 100; ++attempt) {
    BrfRead r;
    r.buf = NV().buf.data();
    r.cap = kBrfMaxRec;
    uint32_t st;
    BtCursor c;
    bool by_key = false;
    if ((op & FM_OP_RID) || (!keyed && !(op & FM_OP_FIRST))) {
      st = brf_read_rid(f, a->rid, r);
    } else {
      by_key = true;
      uint8_t nk[kBtMaxKey];
      size_t n = 0;
      BrfSeek how = (op & FM_OP_GE) || (op & FM_OP_FIRST) ? BrfSeek::AtLeast : BrfSeek::Exact;
      if (op & FM_OP_FIRST) {
        n = 0;
      } else if (op & FM_OP_KEY) {
        n = fmi::norm_key(*fmi::file_key(a->file.get(), a->key_no), a->key.get(), a->key_len, nk);
      } else {
        const FmKdb* k = fmi::file_key(a->file.get(), a->key_no);
        fmi::norm_rec_key(*k, a->rec.get(), nk);
        n = k->key_len;
      }
      st = brf_seek(f, tree, nk, uint32_t(n), how, c, r);
      if (st == FM_ST_EOF) st = FM_ST_NO_RECORD;
    }
    if (st) return status(a, st);
    int rc;
    if (take(a, h, tree, r, by_key ? &c : nullptr, &rc) == kDone) return rc;
  }
  return status(a, FM_ST_NO_RECORD);
}

int n_start(FmArb*, FmArb* a) {
  NH* h = nh(a);
  BrfFile* f = h->f;
  uint16_t op = a->op;
  int tree = tree_for(h, a);
  if (tree < 0) return status(a, FM_ST_SYS);
  h->tree = tree;
  h->st = kBefore;
  bool keyed = !f->lay.keys.empty();
  if (keyed && (op & FM_OP_AT)) {
    h->seek_len = uint32_t(fmi::norm_key(*fmi::file_key(a->file.get(), a->key_no), a->key.get(), a->key_len, h->seek));
    h->st = ((op & FM_OP_GE) || (a->range & 16)) ? kSeekGt : kSeekGe;
  } else if (op & FM_OP_RID) {
    // Before the record of that id: the next read delivers it.
    BrfRead r;
    r.buf = NV().buf.data();
    r.cap = kBrfMaxRec;
    if (brf_read_rid(f, a->rid, r) == 0 && brf_entry_of(f, tree, r, h->seek)) {
      h->seek_len = f->key_len[tree];
      h->st = kSeekGe;
    }
  }
  return 1;
}

int n_rdnxt(FmArb*, FmArb* a) {
  NH* h = nh(a);
  BrfFile* f = h->f;
  int tree = tree_for(h, a);
  if (tree < 0) return status(a, FM_ST_SYS);
  BrfRead r;
  r.buf = NV().buf.data();
  r.cap = kBrfMaxRec;
  if (tree != h->tree) {
    // Another key: go on from the current record in that key's order.
    if (h->st == kAt && brf_read_rid(f, h->rid, r) == 0 && brf_entry_of(f, tree, r, h->cur.key)) {
      h->cur.stamp = 1;
    } else if (h->st != kEnd) {
      h->st = kBefore;
    }
    h->tree = tree;
  }
  for (int attempt = 0; attempt < 1000; ++attempt) {
    uint32_t st;
    BtCursor& c = h->cur;
    switch (h->st) {
      case kBefore: st = brf_seek(f, tree, h->seek, 0, BrfSeek::AtLeast, c, r); break;
      case kSeekGe: st = brf_seek(f, tree, h->seek, h->seek_len, BrfSeek::AtLeast, c, r); break;
      case kSeekGt: st = brf_seek(f, tree, h->seek, h->seek_len, BrfSeek::After, c, r); break;
      case kAt: st = brf_next(f, tree, c, r); break;
      default: st = FM_ST_EOF; break;
    }
    if (st == FM_ST_EOF) {
      h->st = kEnd;
      return status(a, FM_ST_EOF);
    }
    if (st) return status(a, st);
    h->st = kAt;
    h->rid = r.rid;
    int rc;
    if (!(a->op & FM_OP_HOLD)) {
      take(a, h, tree, r, &c, &rc);
      return rc;
    }
    BtCursor keep = c;
    if (take(a, h, tree, r, &keep, &rc) == kDone) return rc;
    h->cur = keep;  // the record went: on to the next entry
    h->st = kAt;
  }
  return status(a, FM_ST_EOF);
}

// The record of a write or rewrite: the caller's buffer, padded with zeros
// when it is shorter than a fixed-length record.
const uint8_t* rec_of(FmArb* a, uint32_t* len) {
  const FmFdb& d = a->file->fdb;
  uint32_t want = d.var ? (a->rec_len ? a->rec_len : d.rec_len) : d.rec_len;
  uint32_t given = a->rec_len ? a->rec_len : d.rec_len;
  *len = want;
  if (given >= want) return a->rec.get();
  uint8_t* b = NV().buf.data();
  std::memset(b, 0, want);
  std::memcpy(b, a->rec.get(), given);
  return b;
}

// A handle kept for reading changes nothing: its file may no longer be the
// one its name names.
int refuse_kept(FmArb* a) {
  brf_fail(FM_ST_SYS, "%s: the handle is kept for reading", nh(a)->f->path.c_str());
  return status(a, FM_ST_SYS);
}

int n_write(FmArb*, FmArb* a) {
  NH* h = nh(a);
  if (h->kept) return refuse_kept(a);
  uint32_t len;
  const uint8_t* rec = rec_of(a, &len);
  uint32_t rid;
  if (uint32_t st = brf_insert(h->f, rec, len, &rid)) return status(a, st);
  a->rid = rid;
  a->rid_len = 4;
  return 1;
}

// A change of the held record: the hold ends whatever the outcome, except
// when the change is refused for another reason than the record being gone
// (a record that vanished under an old hold answers "no record held"). The
// record held must be the one the last read with hold delivered: after a
// read whose hold was refused, the change is refused with "no record held"
// and nothing changes, the earlier hold included (a read without hold leaves
// an earlier hold as it was).
template <class Change>
int change_held(FmArb* a, Change&& change) {
  NH* h = nh(a);
  if (h->kept) return refuse_kept(a);
  if (!h->held || h->held != h->hold_target) return status(a, FM_ST_NOT_HELD);
  uint32_t st = change(h);
  if (st && st != FM_ST_NO_RECORD) return status(a, st);
  unhold(h);
  return st ? status(a, FM_ST_NOT_HELD) : 1;
}

int n_rewrite(FmArb*, FmArb* a) {
  uint32_t rid = 0;
  int ok = change_held(a, [&](NH* h) {
    uint32_t len;
    const uint8_t* rec = rec_of(a, &len);
    rid = h->held;
    return brf_update(h->f, rid, rec, len, h->held_seq);
  });
  if (ok) {
    a->rid = rid;
    a->rid_len = 4;
  }
  return ok;
}

int n_del(FmArb*, FmArb* a) {
  return change_held(a, [](NH* h) {
    // The read that took the hold left the handle on the record's entry.
    bool on = h->st == kAt && h->rid == h->held;
    return brf_remove(h->f, h->held, h->held_seq, on ? h->tree : -1, on ? &h->cur : nullptr);
  });
}

int n_del_all(FmArb*, FmArb* a) {
  NH* h = nh(a);
  if (h->kept) return refuse_kept(a);
  BrfFile* f = h->f;
  if (uint32_t st = brf_remove_all(f)) return status(a, st);
  for (NH* o : NV().hs)
    if (o && o->f == f) {
      unhold(o);
      o->st = kBefore;
    }
  return 1;
}

int n_release(FmArb*, FmArb* a) {
  if (NH* h = nh(a)) unhold(h);
  return 1;
}

}  // namespace

const FmHandlers brf_handlers = {
    FM_BE_NATIVE, nullptr, n_alloc_id, n_attach, n_create, n_close, nullptr, n_del, n_close, nullptr,
    nullptr, n_free_id, n_locate, n_nam, n_open, n_rdnxt, n_read, n_release, nullptr, n_rename, n_rewrite,
    n_scratch, n_start, n_write, n_del_all, nullptr, n_pass,
};

uint8_t brf_chooser(const FmFdb* fdb) {
  uint8_t t = fm_default_chooser(fdb);
  if (t == FM_BE_SEQ && fdb->fclass == FM_CLASS_DISK && fdb->org != FM_ORG_SINGLE) {
    FmFdb probe = *fdb;
    std::string path;
    if (fm_os_path(&probe, &path) && brf_is_native_file(path)) return FM_BE_NATIVE;
  }
  return t;
}

bool fm_change_count(FmArb* a, uint64_t* count) {
  if (!fm_is_handle(a) || a->state != FM_HS_OPEN) return false;
  NH* h = fm_handlers(a->file->fns) == &brf_handlers ? nh(a) : nullptr;
  if (!h || !h->f || h->f->st.in_txn) return false;
  uint64_t c = bt_counter(h->f->st);
  if (c & 1) return false;
  *count = c;
  return true;
}

int fm_keep(FmArb* a, FmFileId* id) {
  if (!fm_is_handle(a) || a->state != FM_HS_OPEN) {
    if (a && fm_is_handle(a)) a->status = FM_ST_SYS;
    return 0;
  }
  NH* h = fm_handlers(a->file->fns) == &brf_handlers ? nh(a) : nullptr;
  if (!h || !h->owner || !h->f || h->excl) {
    brf_fail(FM_ST_SYS, "only the shared open handle of a native file is kept");
    return status(a, FM_ST_SYS);
  }
  if (!h->kept)
    if (uint32_t st = brf_keep(h->f)) return status(a, st);
  h->kept = true;
  if (id) {
    id->dev = uint64_t(h->f->dev);
    id->ino = uint64_t(h->f->ino);
  }
  return 1;
}
