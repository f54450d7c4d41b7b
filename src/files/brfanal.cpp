#include "files/brfanal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <map>
#include <set>
#include <unordered_map>

#include "files/brf.h"
#include "files/fm.h"
#include "files/unixio.h"
#include "foundation/os.h"

namespace {

constexpr size_t kMaxProblems = 60;

struct Problems {
  std::vector<std::string>* out;
  size_t more = 0;
  void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (out->size() >= kMaxProblems) {
      ++more;
      return;
    }
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    out->push_back(buf);
  }
  void finish() {
    if (more) out->push_back("... and " + std::to_string(more) + " more problems");
  }
};

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

struct LiveRec {
  uint32_t rid, pos, len, seq;
};

// A range of the data file that holds no sound slot.
struct Gap {
  uint32_t pos, end;
  std::string why;
  uint32_t room_end = 0;  // rebuild: where the free slot made of it ends
  bool last = false;      // rebuild: it ends the records, which end before it
};

// What a scan of the data file's slots found.
struct DataScan {
  std::vector<LiveRec> live;
  std::unordered_map<uint32_t, size_t> by_rid;
  std::set<std::pair<uint32_t, uint32_t>> frees;  // (room, offset)
  std::map<uint32_t, uint32_t> chained;           // free slot on the free chain -> its link
  std::map<uint32_t, uint32_t> homes;             // home offset -> record offset
  std::map<uint32_t, LiveRec> moved;              // record offset -> record (rid unknown yet)
  std::vector<Gap> gaps;                          // damaged ranges, in file order
  uint32_t limit = 0;                             // where the records end
  uint32_t stubs = 0;
  uint64_t live_bytes = 0, free_bytes = 0;
};

bool len_ok(const BrfLayout& lay, uint32_t len) { return lay.var ? len <= lay.rec_len : len == lay.rec_len; }

enum class SlotKind { Bad, Record, Free, Home, Zero };

struct SlotLook {
  SlotKind kind = SlotKind::Bad;
  uint32_t len = 0;     // the header's length (also of a bad slot, when it stays inside the records)
  bool framed = false;  // a record slot whose header is sound (its bytes may not be)
  const char* why = "";
};

// What the slot header at pos says, checked as far as the slot itself can
// be: a record slot by its length and check-sum trailer, a free or home slot
// by its header only.
SlotLook look(const uint8_t* d, uint32_t pos, uint32_t limit, const BrfLayout& lay) {
  SlotLook l;
  l.why = "a slot header cut off by the end of the records";
  if (uint64_t(pos) + kBrfSlotHdr > limit) return l;
  const BrfSlotHdr& h = rec::view<BrfSlotHdr>(d + pos);
  uint32_t len = h.len.get();
  uint8_t state = h.state.get();
  if (len == 0) {
    // The end mark (a zero slot header) needs no trailer's room.
    bool zero = state == 0 && h.seq.get() == 0 && h.short_len.get() == 0 && h.spare.get() == 0;
    if (zero) l.kind = SlotKind::Zero;
    if (zero || uint64_t(pos) + kBrfSlotOver <= limit) l.why = "a slot header of length 0 before the end of the records";
    return l;
  }
  if (uint64_t(pos) + kBrfSlotOver > limit) return l;
  if (uint64_t(pos) + kBrfSlotOver + len > limit) {
    l.why = "a slot header whose length runs past the end of the records";
    return l;
  }
  l.len = len;
  if (h.spare.get() != 0 || h.short_len.get() != 0) {
    l.why = "a damaged slot header";
    return l;
  }
  if (state == kBrfLive || state == kBrfMoved) {
    if (!len_ok(lay, len)) {
      l.why = "a record length the file does not allow";
      return l;
    }
    l.framed = true;
    uint32_t trailer = rec::view<rec::U32>(d + pos + kBrfSlotHdr + len).get();
    if (trailer != brf_slot_sum(d + pos, len)) {
      l.why = "a record that fails its check sum";
      return l;
    }
    l.kind = SlotKind::Record;
  } else if (state == kBrfFree) {
    // Free slots in the free-space tree are written with sequence 0; on the
    // free chain (fixed-length records) it is their link, the end mark or a
    // slot's place; any other is a damaged header (perhaps a record's whose
    // state byte is damaged). (A home slot keeps its record's old bytes and
    // trailer, which may hold for its pointer.)
    uint32_t link = h.seq.get();
    bool linked =
        link == kBrfChainEnd || (link >= kBrfHdrSize && uint64_t(link) + kBrfSlotOver <= limit && link != pos);
    bool chained = !lay.var && len == lay.rec_len && linked;
    if (link != 0 && !chained) {
      l.why = "a free slot whose header is damaged";
      return l;
    }
    l.kind = SlotKind::Free;
  } else if (state == kBrfHome) {
    uint32_t at = h.seq.get();
    if (at < kBrfHdrSize || uint64_t(at) + kBrfSlotOver > limit || at == pos) {
      l.why = "a home slot that points outside the records";
      return l;
    }
    l.kind = SlotKind::Home;
  } else {
    l.why = "a slot header with an unknown state";
  }
  return l;
}

// Whether the slots from q on lead soundly on: to a record slot whose
// check sum holds, or exactly to the end of the records (over free and home
// slots, and record slots whose header holds while their bytes do not).
bool anchored(const uint8_t* d, uint32_t q, uint32_t limit, const BrfLayout& lay) {
  for (int hops = 0; hops < 64; ++hops) {
    if (q == limit) return true;
    SlotLook l = look(d, q, limit, lay);
    if (l.kind == SlotKind::Record) return true;
    if (l.kind != SlotKind::Free && l.kind != SlotKind::Home && !l.framed) return false;
    q += kBrfSlotOver + l.len;
  }
  return true;
}

// Whether a sound record slot begins inside [from, to): a free or home slot
// reaching over it has a damaged length. (A free slot's own bytes never
// hold one: freeing rewrites a slot's header and sequence, and the check
// sum covers the sequence.)
bool record_inside(const uint8_t* d, uint32_t from, uint32_t to, uint32_t limit, const BrfLayout& lay) {
  for (uint32_t q = from; q < to && uint64_t(q) + kBrfSlotOver <= limit; ++q) {
    uint8_t st = d[q];
    if ((st != kBrfLive && st != kBrfMoved) || d[q + 1] != 0) continue;
    if (look(d, q, limit, lay).kind == SlotKind::Record) return true;
  }
  return false;
}

// Whether a free or home slot at q is one the scan accepts: it leads soundly
// on and reaches over no sound record.
bool sound_free(const uint8_t* d, uint32_t q, uint32_t len, uint32_t limit, const BrfLayout& lay) {
  uint32_t next = q + kBrfSlotOver + len;
  return anchored(d, next, limit, lay) && !record_inside(d, q + 1, next, limit, lay);
}

// Where the slots are sound again after a damaged slot at pos: the first
// record slot whose check sum holds or free or home slot that leads soundly
// on, or the place the damaged header names when the slots from there lead
// soundly on, whichever comes first, but at least a free slot's room past
// pos (the range left out becomes one); the end of the records when nothing
// sound follows.
uint32_t resync(const uint8_t* d, uint32_t pos, uint32_t claim, uint32_t limit, const BrfLayout& lay) {
  uint64_t from = uint64_t(pos) + 1;
  if (from >= limit) return limit;
  if (claim < from) claim = 0;
  for (uint32_t q = uint32_t(from); q < limit; ++q) {
    if (q == claim && anchored(d, q, limit, lay)) return q;
    if (uint64_t(q) + kBrfSlotOver > limit) continue;
    uint8_t st = d[q];
    if (st > kBrfMoved || st == 3 || d[q + 1] != 0) continue;
    SlotLook l = look(d, q, limit, lay);
    if (l.kind == SlotKind::Record) return q;
    if ((l.kind == SlotKind::Free || l.kind == SlotKind::Home) && sound_free(d, q, l.len, limit, lay)) return q;
  }
  return limit;
}

// Scans slots from the header to limit, finding the sound slots again past
// every damaged one. zero_ends: a zero slot header ends the records (the
// header's own end is not known).
void scan_data(const uint8_t* d, uint32_t limit, const BrfLayout& lay, DataScan& s, Problems& pr, bool zero_ends) {
  uint32_t pos = kBrfHdrSize;
  while (pos < limit) {
    SlotLook l = look(d, pos, limit, lay);
    if (l.kind == SlotKind::Zero && zero_ends) {
      limit = pos;
      break;
    }
    const BrfSlotHdr& h = rec::view<BrfSlotHdr>(d + pos);
    if (l.kind == SlotKind::Free || l.kind == SlotKind::Home) {
      uint32_t next = pos + kBrfSlotOver + l.len;
      if (!anchored(d, next, limit, lay)) {
        l.why = l.kind == SlotKind::Free ? "a free slot whose length leads into no sound slot"
                                         : "a home slot whose length leads into no sound slot";
        l.kind = SlotKind::Bad;
      } else if (record_inside(d, pos + 1, next, limit, lay)) {
        l.kind = SlotKind::Bad;
        l.why = "a free or home slot whose length reaches over sound records";
      }
    }
    if (l.kind == SlotKind::Bad || l.kind == SlotKind::Zero) {
      uint32_t claim = l.len ? pos + kBrfSlotOver + l.len : 0;
      uint32_t q = resync(d, pos, claim, limit, lay);
      if (!s.gaps.empty() && s.gaps.back().end == pos) {
        // Resynchronised on a record slot whose header holds but whose bytes
        // do not: one range.
        s.gaps.back().end = q;
      } else {
        s.gaps.push_back({pos, q, l.why, 0, false});
      }
      pr.add("data: bytes %u to %u hold no sound slot (%s at %u)", pos, q, l.why, pos);
      pos = q;
      continue;
    }
    uint32_t len = l.len;
    if (l.kind == SlotKind::Record) {
      if (h.state.get() == kBrfLive) {
        s.by_rid[pos] = s.live.size();
        s.live.push_back({pos, pos, len, h.seq.get()});
      } else {
        s.moved[pos] = {0, pos, len, h.seq.get()};
      }
      s.live_bytes += len;
    } else if (l.kind == SlotKind::Free) {
      s.frees.insert({len, pos});
      s.free_bytes += len;
      if (h.seq.get() != 0) s.chained[pos] = h.seq.get();
    } else {
      s.homes[pos] = h.seq.get();
      ++s.stubs;
    }
    pos += kBrfSlotOver + len;
  }
  s.limit = limit;
  // Moved records join their home slots.
  for (auto& [home, at] : s.homes) {
    auto it = s.moved.find(at);
    if (it == s.moved.end() || it->second.rid != 0) {
      pr.add("data: the home slot at %u points at %u, which holds no moved record", home, at);
      continue;
    }
    it->second.rid = home;
    s.by_rid[home] = s.live.size();
    s.live.push_back(it->second);
  }
  for (auto& [at, r] : s.moved)
    if (r.rid == 0) pr.add("data: the moved record at %u has no home slot", at);
}

struct TreeShape {
  uint32_t klen = 0, esize = 0, cap = 0;
};

struct TreeWalk {
  BtStore& s;
  int tree;
  TreeShape t;
  std::vector<uint8_t>& owner;
  Problems& pr;
  std::vector<std::pair<std::string, uint32_t>> entries;
  uint32_t last_leaf = 0;
  uint32_t pages = 0;
  uint64_t used = 0;
  uint32_t height = 0;

  const uint8_t* ent(const uint8_t* p, uint32_t i) const { return p + kBtPageHdr + i * t.esize; }
  uint32_t val(const uint8_t* e) const { return rec::view<rec::U32>(e + t.klen).get(); }

  void walk(uint32_t pg, int level, const uint8_t* lo, const uint8_t* hi) {
    uint32_t count = bt_hdr(s).page_count.get();
    if (pg == 0 || pg >= count) {
      pr.add("index: tree %d points at page %u, outside the file", tree, pg);
      return;
    }
    if (owner[pg]) {
      pr.add("index: page %u is used twice (tree %d)", pg, tree);
      return;
    }
    owner[pg] = 1;
    ++pages;
    if (!bt_page_ok(s, pg)) {
      pr.add("index: page %u (tree %d) fails its check sum", pg, tree);
      return;
    }
    const uint8_t* p = s.imap + uint64_t(pg) * kBtPage;
    const BtPageHdr& ph = bt_ph(p);
    uint32_t n = ph.count.get();
    if (ph.kind.get() != (level == 0 ? 'L' : 'I') || ph.tree.get() != tree || ph.level.get() != level ||
        n > t.cap || (level > 0 && n == 0) || (level == 0 && n == 0 && pg != bt_hdr(s).trees[tree].root.get())) {
      pr.add("index: page %u is not the page its tree %d expects there", pg, tree);
      return;
    }
    used += uint64_t(n) * t.esize;
    uint32_t first = level == 0 ? 0 : 1;
    for (uint32_t i = first; i < n; ++i) {
      const uint8_t* k = ent(p, i);
      if (i > first && std::memcmp(ent(p, i - 1), k, t.klen) >= 0)
        pr.add("index: page %u (tree %d) has keys out of order at entry %u", pg, tree, i);
      if ((lo && std::memcmp(k, lo, t.klen) < 0) || (hi && std::memcmp(k, hi, t.klen) >= 0))
        pr.add("index: page %u (tree %d) has a key outside its parent's bounds at entry %u", pg, tree, i);
    }
    if (level == 0) {
      if (last_leaf) {
        const uint8_t* lp = s.imap + uint64_t(last_leaf) * kBtPage;
        if (bt_ph(lp).next.get() != pg) pr.add("index: leaf %u of tree %d does not lead to leaf %u", last_leaf, tree, pg);
      }
      last_leaf = pg;
      for (uint32_t i = 0; i < n; ++i)
        entries.emplace_back(std::string(reinterpret_cast<const char*>(ent(p, i)), t.klen), val(ent(p, i)));
      return;
    }
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t* clo = i == 0 ? lo : ent(p, i);
      const uint8_t* chi = i + 1 < n ? ent(p, i + 1) : hi;
      walk(val(ent(p, i)), level - 1, clo, chi);
    }
  }

  void run() {
    const BtTreeHdr& th = bt_hdr(s).trees[tree];
    height = th.height.get();
    if (th.root.get() == 0) {
      if (height != 0 || th.entries.get() != 0) pr.add("index: tree %d is empty but its header says otherwise", tree);
      return;
    }
    if (height == 0 || height > 40) {
      pr.add("index: tree %d has an impossible height %u", tree, height);
      return;
    }
    walk(th.root.get(), int(height) - 1, nullptr, nullptr);
    if (last_leaf) {
      const uint8_t* lp = s.imap + uint64_t(last_leaf) * kBtPage;
      if (bt_ph(lp).next.get() != 0) pr.add("index: the last leaf %u of tree %d leads further", last_leaf, tree);
    }
    if (entries.size() != th.entries.get())
      pr.add("index: tree %d holds %zu entries, its header says %u", tree, entries.size(), th.entries.get());
    if (pages != th.pages.get())
      pr.add("index: tree %d uses %u pages, its header says %u", tree, pages, th.pages.get());
  }
};

TreeShape shape_of(BtStore& s, int tree) {
  uint32_t k = bt_hdr(s).trees[tree].key_len.get();
  TreeShape t;
  t.klen = k;
  t.esize = k + 4;
  t.cap = k ? (kBtPage - kBtPageHdr) / (k + 4) : 0;
  return t;
}

// Whether two data-file headers describe the same file: everything but the
// counts (end, live, dead, free bytes, next sequence) and the sum.
bool same_layout(const BrfFileHdr& a, const BrfFileHdr& b) {
  const auto* x = reinterpret_cast<const uint8_t*>(&a);
  const auto* y = reinterpret_cast<const uint8_t*>(&b);
  size_t counts = offsetof(BrfFileHdr, end), after = offsetof(BrfFileHdr, generation);
  size_t chain = offsetof(BrfFileHdr, free_chain), keys = offsetof(BrfFileHdr, keys);
  // (free_chain: changes with the counts; next_gen: the mark of a rebuild,
  // which one killed early may leave.)
  return std::memcmp(x, y, counts) == 0 && std::memcmp(x + after, y + after, chain - after) == 0 &&
         std::memcmp(x + keys, y + keys, offsetof(BrfFileHdr, next_gen) - keys) == 0;
}

// Holds the shared index lock on a state with no change under way (a
// process that may only read: waits for one, holding nothing; *seen is the
// counter of that state).
bool lock_quiet(BrfFile* f, uint64_t* seen) {
  BtStore& s = f->st;
  for (int i = 0; i < (s.writable ? 3 : 1000); ++i) {
    if (bt_lock_shared(s) != kBtOk) return false;
    *seen = bt_counter(s);
    if (!(*seen & 1)) return true;
    bt_unlock(s);
    if (!s.writable) {
      if (bt_change_dead(s)) return false;
      continue;  // a change under way: wait for its end
    }
    if (bt_begin(s) != kBtOk) return false;
    if (bt_abort(s) != kBtOk) return false;
  }
  return false;
}

void examine_once(BrfFile* f, BrfCheck* check, BrfAnalysis* an, uint64_t* seen);

// Verify and analyse: everything under the shared lock. A process that may
// only read cannot hold changes off: it examines a state in which no change
// was under way, and again when a change came between.
void examine(BrfFile* f, BrfCheck* check, BrfAnalysis* an) {
  uint64_t seen = 0;
  if (f->st.writable) return examine_once(f, check, an, &seen);
  constexpr int kRounds = 5;
  for (int round = 1;; ++round) {
    BrfCheck c = check ? *check : BrfCheck{};
    BrfAnalysis a = an ? *an : BrfAnalysis{};
    examine_once(f, check ? &c : nullptr, an ? &a : nullptr, &seen);
    std::atomic_thread_fence(std::memory_order_acquire);
    bool quiet = bt_counter(f->st) == seen;
    if (quiet || round == kRounds) {
      if (!quiet) c.problems.push_back("the file kept changing while it was examined: examine it again");
      if (check) *check = std::move(c);
      if (an) *an = std::move(a);
      return;
    }
  }
}

void examine_once(BrfFile* f, BrfCheck* check, BrfAnalysis* an, uint64_t* seen) {
  std::vector<std::string> sink;
  Problems pr{check ? &check->problems : &sink};
  BtStore& s = f->st;
  if (!lock_quiet(f, seen)) {
    pr.add("the file could not be locked for reading: %s", std::strerror(s.err ? s.err : EIO));
    pr.finish();
    return;
  }
  bt_refresh_sizes(s);
  const BrfFileHdr& h = *reinterpret_cast<const BrfFileHdr*>(s.dmap);
  std::string why;
  BrfLayout lay;
  if (!brf_decode_hdr(h, &lay, &why)) {
    pr.add("data: %s", why.c_str());
    bt_unlock(s);
    pr.finish();
    return;
  }
  if (!bt_hdr_ok(s)) {
    pr.add("index: its header is damaged");
    bt_unlock(s);
    pr.finish();
    return;
  }
  uint32_t end = h.end.get();
  if (end > s.dsize) {
    pr.add("data: the file is shorter (%llu bytes) than its header says (%u)", (unsigned long long)s.dsize, end);
    end = uint32_t(s.dsize);
  }
  DataScan ds;
  scan_data(s.dmap, end, lay, ds, pr, false);
  if (ds.live.size() != h.live.get())
    pr.add("data: %zu live records, the header says %u", ds.live.size(), h.live.get());
  if (ds.frees.size() + ds.stubs != h.dead.get())
    pr.add("data: %zu free and moved-away slots, the header says %u", ds.frees.size() + ds.stubs, h.dead.get());
  // The free chain: from the slot the header names through the links, each
  // a free slot on it, none met twice, ending with the end mark; every slot
  // with a link is on it.
  {
    std::set<uint32_t> met;
    for (uint32_t at = h.free_chain.get(); at != 0;) {
      auto it = ds.chained.find(at);
      if (it == ds.chained.end()) {
        pr.add("data: the free chain leads to %u, where no free slot links on", at);
        break;
      }
      if (!met.insert(at).second) {
        pr.add("data: the free chain comes back to the slot at %u", at);
        break;
      }
      at = it->second == kBrfChainEnd ? 0 : it->second;
    }
    for (auto& [at, link] : ds.chained)
      if (!met.count(at)) pr.add("data: the free slot at %u links to %u but is not on the free chain", at, link);
  }
  if (ds.free_bytes != h.free_bytes.get())
    pr.add("data: %llu free bytes, the header says %u", (unsigned long long)ds.free_bytes, h.free_bytes.get());
  std::set<uint32_t> seqs;
  for (const LiveRec& r : ds.live) {
    if (r.seq >= h.next_seq.get()) pr.add("data: the record %u has a sequence beyond the header's", r.rid);
    if (!seqs.insert(r.seq).second) pr.add("data: the record %u repeats a sequence number", r.rid);
  }
  // The index, tree by tree.
  BtHdr& ih = bt_hdr(s);
  if (check) {
    // Its copy of the data file's header (none in older index files).
    static const uint8_t zero[sizeof(BrfFileHdr)] = {};
    BrfFileHdr copy;
    if (std::memcmp(ih.data_hdr.data(), zero, sizeof zero) != 0) {
      if (!brf_hdr_copy(ih, &copy, nullptr))
        pr.add("index: its copy of the data file's header is damaged");
      else if (!same_layout(copy, h))
        pr.add("index: its copy of the data file's header differs from the header");
    }
  }
  uint32_t page_count = ih.page_count.get();
  std::vector<uint8_t> owner(page_count, 0);
  owner[0] = 1;
  uint32_t nkeys = uint32_t(lay.keys.size());
  for (int t = 0; t < kBtTrees; ++t) {
    bool used = t < int(nkeys) || t == kBtFreeTree || (t == kBtOrderTree && nkeys == 0);
    if (!used) {
      if (ih.trees[t].root.get() != 0) pr.add("index: tree %d should not exist", t);
      continue;
    }
    TreeWalk w{s, t, shape_of(s, t), owner, pr, {}, 0, 0, 0, 0};
    if (w.t.klen != f->key_len[t] || w.t.klen == 0) {
      pr.add("index: tree %d has key length %u, the file's keys need %u", t, w.t.klen, f->key_len[t]);
      continue;
    }
    w.run();
    if (check) {
      check->entries += uint32_t(w.entries.size());
      std::string what = t < int(nkeys) ? "key " + std::to_string(lay.keys[size_t(t)].key_no)
                                        : t == kBtFreeTree ? "free space" : "write order";
      check->trees.emplace_back(what, uint32_t(w.entries.size()));
    }
    if (an) {
      BrfTreeStats st;
      st.tree = t;
      st.what = t < int(nkeys) ? "key" : t == kBtFreeTree ? "free space" : "write order";
      st.key_no = t < int(nkeys) ? lay.keys[size_t(t)].key_no : -1;
      st.height = w.height;
      st.pages = w.pages;
      st.entries = uint32_t(w.entries.size());
      st.fill = w.pages ? double(w.used) / (double(w.pages) * (kBtPage - kBtPageHdr)) : 0;
      an->trees.push_back(st);
    }
    if (!check) continue;
    if (t == kBtFreeTree) {
      std::set<std::pair<uint32_t, uint32_t>> seen;
      for (auto& [k, v] : w.entries) {
        auto key = std::make_pair(be32(reinterpret_cast<const uint8_t*>(k.data())),
                                  be32(reinterpret_cast<const uint8_t*>(k.data()) + 4));
        if (!ds.frees.count(key) || key.second != v || ds.chained.count(key.second))
          pr.add("index: the free-space entry (%u bytes at %u) names no free slot", key.first, key.second);
        seen.insert(key);
      }
      for (auto& fr : ds.frees)
        if (!seen.count(fr) && !ds.chained.count(fr.second))
          pr.add("index: the free slot at %u (%u bytes) is not in the free-space tree", fr.second, fr.first);
      continue;
    }
    std::vector<uint8_t> hit(ds.live.size(), 0);
    uint8_t kb[kBtMaxKey];
    for (auto& [k, rid] : w.entries) {
      auto it = ds.by_rid.find(rid);
      if (it == ds.by_rid.end()) {
        pr.add("index: an entry of tree %d points at %u, where no live record is", t, rid);
        continue;
      }
      const LiveRec& r = ds.live[it->second];
      bool in = brf_key_of(f, t, s.dmap + r.pos + kBrfSlotHdr, r.len, r.seq, kb);
      if (!in || std::memcmp(kb, k.data(), w.t.klen) != 0) {
        pr.add("index: an entry of tree %d for record %u does not hold the record's key", t, rid);
        continue;
      }
      if (hit[it->second]++) pr.add("index: record %u is in tree %d twice", rid, t);
    }
    for (size_t i = 0; i < ds.live.size(); ++i) {
      if (hit[i]) continue;
      const LiveRec& r = ds.live[i];
      if (brf_key_of(f, t, s.dmap + r.pos + kBrfSlotHdr, r.len, r.seq, kb))
        pr.add("index: record %u is missing from tree %d", r.rid, t);
    }
  }
  // The free page list, and every page accounted for.
  uint32_t free_pages = 0;
  for (uint32_t pg = ih.free_head.get(); pg != 0;) {
    if (pg >= page_count || owner[pg]) {
      pr.add("index: the free page list reaches page %u twice or outside the file", pg);
      break;
    }
    owner[pg] = 1;
    ++free_pages;
    if (!bt_page_ok(s, pg) || bt_ph(s.imap + uint64_t(pg) * kBtPage).kind.get() != 'F') {
      pr.add("index: the free page %u is damaged", pg);
      break;
    }
    pg = bt_ph(s.imap + uint64_t(pg) * kBtPage).next.get();
  }
  if (free_pages != ih.free_count.get())
    pr.add("index: %u free pages, its header says %u", free_pages, ih.free_count.get());
  uint32_t lost = 0;
  for (uint32_t pg = 1; pg < page_count; ++pg) lost += owner[pg] ? 0 : 1;
  if (lost) pr.add("index: %u pages belong to nothing", lost);
  if (check) {
    check->records = uint32_t(ds.live.size());
    check->free_slots = uint32_t(ds.frees.size());
    check->moved = uint32_t(ds.moved.size());
  }
  if (an) {
    an->rec_len = lay.rec_len;
    an->var = lay.var != 0;
    an->key_count = nkeys;
    an->data_size = s.dsize;
    an->index_size = s.isize;
    an->live = uint32_t(ds.live.size());
    an->free_slots = uint32_t(ds.frees.size());
    an->moved = ds.stubs;
    an->live_bytes = ds.live_bytes;
    an->free_bytes = ds.free_bytes;
    an->end = end;
    an->index_pages = page_count;
    an->free_pages = free_pages;
  }
  bt_unlock(s);
  pr.finish();
}

// What the raw files say, read without opening the file (only for a file
// that this process does not have open: closing a descriptor would drop the
// process's locks on it).
struct Probe {
  int open_err = 0;            // errno when the data file cannot be opened for reading
  bool short_file = false;     // shorter than a file header
  bool magic = false;          // the data file's header begins as a native one
  bool hdr_ok = false;         // the header is sound
  BrfFileHdr hdr{};            // as read
  std::string hdr_why;
  std::string other;           // what the file is when it is no data file
  bool index = false;          // the index file is there and begins as one
  uint64_t counter = 0;        // its change counter
  bool copy = false;           // it keeps a sound copy of the data file's header
  BrfFileHdr copy_hdr{};
  BrfLayout copy_lay;
  bool jnl_ok = false;         // the journal's header is sound
  bool jnl_bad_entry = false;  // the dead change's journal names bytes outside its file
  uint64_t jnl_bad_at = 0;
  bool writable = false;       // this user may write the data file
};

bool read_exact(const std::string& p, void* buf, size_t n, uint64_t off) {
  int fd = uio_open(p.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool ok = uio_pread(fd, buf, n, off) == ssize_t(n);
  uio_close(fd);
  return ok;
}

void probe(const std::string& path, Probe& pb) {
  pb.writable = ::access(path.c_str(), W_OK) == 0;
  uint8_t head[kBrfHdrSize] = {};
  int fd = uio_open(path.c_str(), O_RDONLY);
  if (fd < 0) pb.open_err = errno;
  int64_t size = fd >= 0 ? uio_size(fd) : -1;
  if (fd >= 0) {
    if (uio_pread(fd, head, sizeof head, 0) < 0) std::memset(head, 0, sizeof head);
    uio_close(fd);
  }
  pb.short_file = size < int64_t(kBrfHdrSize);
  std::memcpy(&pb.hdr, head, sizeof head);
  pb.magic = pb.hdr.magic == "QVDF";
  pb.hdr_ok = !pb.short_file && brf_decode_hdr(pb.hdr, nullptr, &pb.hdr_why);
  if (!pb.hdr_ok) pb.hdr_why = "its file header is damaged";
  if (pb.short_file) pb.hdr_why = "the file is shorter than a file header";
  // What else it may be.
  auto strip = [&](const char* suffix) {
    size_t n = std::strlen(suffix);
    return path.size() > n && path.compare(path.size() - n, n, suffix) == 0 ? path.substr(0, path.size() - n)
                                                                          : std::string();
  };
  if (rec::view<BtHdr>(head).magic == "QVIX") {
    std::string of = strip(".ix");
    pb.other = of.empty() ? " (it is an index file)" : " (it is the index file of " + of + ")";
  } else if (rec::view<BtJnlHdr>(head).magic == "QVJN") {
    std::string of = strip(".jn");
    pb.other = of.empty() ? " (it is a journal)" : " (it is the journal of " + of + ")";
  } else if (rec::view<BrfLostHdr>(head).magic == "QVLO") {
    pb.other = " (it holds what a rebuild left out)";
  }
  // The index's page 0 and the journal's header.
  BtHdr ih;
  std::string ipath = brf_index_path(path), jpath = brf_journal_path(path);
  if (read_exact(ipath, &ih, sizeof ih, 0) && ih.magic == "QVIX") {
    pb.index = true;
    pb.counter = ih.counter.get();
    pb.copy = brf_hdr_copy(ih, &pb.copy_hdr, &pb.copy_lay) &&
              (pb.copy_hdr.generation.get() == ih.generation.get() ||
               pb.copy_hdr.generation.get() == pb.hdr.generation.get());
  }
  BtJnlHdr jh;
  pb.jnl_ok = read_exact(jpath, &jh, sizeof jh, 0) && jh.magic == "QVJN" && jh.version.get() == 1;
  if (pb.index && (pb.counter & 1) && pb.jnl_ok) {
    BtStore st;
    st.name = path;
    st.dfd = uio_open(path.c_str(), O_RDONLY);
    st.ifd = uio_open(ipath.c_str(), O_RDONLY);
    st.jfd = uio_open(jpath.c_str(), O_RDONLY);
    if (st.dfd >= 0 && st.ifd >= 0 && st.jfd >= 0 && bt_attach(st) == kBtOk)
      pb.jnl_bad_entry = bt_recover_check(st, &pb.jnl_bad_at) != kBtOk;
    bt_detach(st);
    uio_close(st.dfd);
    uio_close(st.ifd);
    uio_close(st.jfd);
  }
}

// A native data file, perhaps with a damaged header: it begins as one, or
// an index file lies beside it.
bool is_native(const Probe& pb) { return pb.magic || pb.index; }

// What a rebuild does, for a user who may write the file (only such a one
// may run it).
std::string rebuild_advice(const std::string& path) {
  std::string who = ::access(path.c_str(), W_OK) == 0 ? "" : ", run by a user who may write the file";
  return "quvo -fr" + who + " rebuilds the index from every record whose check sum holds (what it leaves out is kept in " +
         brfanal_lost_path(path) + ")";
}

// Why an open failed, in the words of what will put it right.
void explain(const std::string& path, const Probe& pb, BrfCheck* out) {
  auto& pr = out->problems;
  if (pb.index && (pb.counter & 1)) {
    if (!pb.jnl_ok) {
      pr.push_back("a change left unfinished by a process that died cannot be rolled back: its journal's header is "
                   "damaged");
      out->advice = rebuild_advice(path);
    } else if (pb.jnl_bad_entry) {
      char buf[256];
      std::snprintf(buf, sizeof buf,
                    "a change left unfinished by a process that died cannot be rolled back: its journal entry at %llu "
                    "names bytes outside the file",
                    (unsigned long long)pb.jnl_bad_at);
      pr.push_back(buf);
      out->advice = rebuild_advice(path);
    } else if (!pb.writable) {
      out->pending = true;
      pr.push_back("a change left unfinished by a process that died is waiting to be rolled back, and this user may "
                   "not write the file");
      out->advice = "quvo -fv by a user who may write the file rolls it back and then verifies it";
    } else {
      pr.push_back(brf_error());
      out->advice = rebuild_advice(path);
    }
    return;
  }
  if (!pb.hdr_ok) {
    pr.push_back("data: " + pb.hdr_why);
    if (pb.copy) {
      out->advice = std::string("quvo -fr") + (pb.writable ? "" : ", run by a user who may write the file,") +
                    " restores the header from the copy its index file keeps, and keeps every record whose check "
                    "sum holds";
    } else {
      pr.push_back("the index file keeps no copy of the header" +
                   std::string(pb.index ? " (it was written before copies were kept)" : " (there is no index file)"));
      out->advice = "";
    }
    return;
  }
  if (pb.index && !pb.jnl_ok) {
    pr.push_back("its journal's header is damaged; no change is under way, so the records and the index are not "
                 "affected");
    out->advice = std::string("quvo -fr") + (pb.writable ? "" : ", run by a user who may write the file,") +
                  " writes a new journal (and a new index)";
    return;
  }
  // Damage of the index (or a missing one): the rebuild writes a new one.
  std::string e = brf_error();
  const std::string told = "; verify the file and rebuild its index";
  if (e.size() > told.size() && e.compare(e.size() - told.size(), told.size(), told) == 0) e.resize(e.size() - told.size());
  pr.push_back(e);
  out->advice = rebuild_advice(path);
}

}  // namespace

namespace {
// Nonzero (the failure set) when path names no file this user can reach:
// "no such file" only when there is none, else why it cannot be reached.
uint32_t not_there(const std::string& path) {
  struct stat st;
  int e = uio_lstat(path.c_str(), &st);
  if (e == 0) return 0;
  if (e == ENOENT) return brf_fail(FM_ST_NOT_FOUND, "%s: no such file", path.c_str());
  return brf_fail(FM_ST_NOT_FOUND, "%s: %s", path.c_str(), std::strerror(e));
}
}  // namespace

std::string brfanal_lost_path(const std::string& path) { return path + ".lost"; }

uint32_t brfanal_verify(const std::string& path, BrfCheck* out) {
  *out = BrfCheck{};
  if (uint32_t st = not_there(path)) return st;
  Probe pb;
  bool raw = !brf_is_open(path);
  if (raw) {
    probe(path, pb);
    if (pb.open_err) return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(pb.open_err));
    if (!is_native(pb)) return brf_fail(FM_ST_SYS, "%s: not a native data file%s", path.c_str(), pb.other.c_str());
  }
  BrfFile* f;
  uint32_t st = brf_open(path, false, &f);
  if (st == FM_ST_BUSY) return st;
  if (st) {
    if (raw)
      explain(path, pb, out);
    else
      out->problems.push_back(brf_error());
    return 0;
  }
  out->opened = true;
  uint32_t before = raw ? 0 : f->st.recoveries;
  examine(f, out, nullptr);
  out->recovered = f->st.recoveries > before;
  brf_close(f, false);
  if (!out->sound()) out->advice = rebuild_advice(path);
  return 0;
}

uint32_t brfanal_analyse(const std::string& path, BrfAnalysis* out) {
  *out = BrfAnalysis{};
  BrfFile* f;
  if (uint32_t st = brf_open(path, false, &f)) return st;
  examine(f, nullptr, out);
  brf_close(f, false);
  return 0;
}

// ---------------------------------------------------------------- rebuild --
namespace {

// The side file: appends each left-out range with its header. Opened only
// when something is left out; never follows a link, never truncates.
struct LostFile {
  std::string path;
  int fd = -1;
  uint32_t generation = 0;
  ~LostFile() {
    if (fd >= 0) uio_close(fd);
  }
  uint32_t put(uint8_t reason, uint32_t off, const uint8_t* bytes, uint32_t len) {
    if (fd < 0) {
      // An existing one is appended to (a regular file, never through a
      // link); else it is made new.
      fd = uio_open(path.c_str(), O_WRONLY | O_APPEND);
      if (fd < 0 && errno == ENOENT) fd = uio_create(path.c_str());
      if (fd < 0) return brf_fail(FM_ST_SYS, "%s: %s; nothing was changed", path.c_str(), std::strerror(errno));
    }
    BrfLostHdr h;
    std::memset(&h, 0, sizeof h);
    h.magic.set("QVLO");
    h.version = 1;
    h.reason = reason;
    h.off = off;
    h.len = len;
    h.when = uint32_t(std::time(nullptr));
    h.generation = generation;
    h.sum = uio_crc32c(bytes, len, 0x4C4F5354u);
    std::vector<uint8_t> b(sizeof h + len);
    std::memcpy(b.data(), &h, sizeof h);
    if (len) std::memcpy(b.data() + sizeof h, bytes, len);
    if (::write(fd, b.data(), b.size()) != ssize_t(b.size()))
      return brf_fail(FM_ST_SYS, "%s: %s; nothing was changed", path.c_str(), std::strerror(errno ? errno : EIO));
    return 0;
  }
  uint32_t sync() {
    if (fd >= 0 && uio_sync_mode())
      if (int e = uio_sync(fd)) return brf_fail(FM_ST_SYS, "%s: %s; nothing was changed", path.c_str(), std::strerror(e));
    return 0;
  }
};

// The end of the records of a file whose header was restored from its copy
// (the copy's counts are old): the first zero slot header the slots lead
// to, unless the damaged header's own end lies further on, has its zero
// slot header, and sound records lie between (zeroed bytes among the
// records, not their end). *zero_ends: the end is the first zero header.
uint32_t restored_end(const uint8_t* d, uint64_t dsize, const BrfFileHdr& damaged, const BrfLayout& lay,
                      bool* zero_ends) {
  DataScan first;
  std::vector<std::string> sink;
  Problems quiet{&sink};
  scan_data(d, uint32_t(dsize), lay, first, quiet, true);
  uint32_t z = first.limit;
  *zero_ends = true;
  uint64_t e = damaged.end.get();
  if (e <= z || e + kBrfSlotHdr > dsize) return uint32_t(dsize);
  for (uint32_t i = 0; i < kBrfSlotHdr; ++i)
    if (d[e + i]) return uint32_t(dsize);
  if (!record_inside(d, z, uint32_t(e), uint32_t(e), lay)) return uint32_t(dsize);
  *zero_ends = false;
  return uint32_t(e);
}

}  // namespace

namespace {
// A utility that needs the file to itself found it open: who has it, and
// what to do.
uint32_t in_use(const std::string& path, const char* what, char mode) {
  pid_t holder = 0;
  if (int fd = uio_open(path.c_str(), O_RDONLY); fd >= 0) {
    holder = uio_lock_holder(fd, kBrfOpenByte, UioLock::Write);
    if (holder <= 0) holder = uio_lock_holder(fd, kBrfKeepByte, UioLock::Write);
    uio_close(fd);
  }
  std::string who = holder > 0 ? " by " + uio_who(holder) : "";
  return brf_fail(FM_ST_BUSY,
                  "%s is in use%s: the %s needs the file to itself; end the engines that have it open, then run quvo "
                  "-f%c again",
                  path.c_str(), who.c_str(), what, mode);
}
}  // namespace

uint32_t brfanal_reorganise(const std::string& path, BrfReorganised* out) {
  if (brf_is_open(path)) return brf_fail(FM_ST_BUSY, "%s is open in this process", path.c_str());
  if (uint32_t st = not_there(path)) return st;
  uint32_t st = brf_reorganise(path, out);
  return st == FM_ST_BUSY ? in_use(path, "reorganisation", 'o') : st;
}

uint32_t brfanal_rebuild(const std::string& path, std::vector<std::string>* log, BrfRebuilt* res) {
  std::vector<std::string> sink;
  if (!log) log = &sink;
  BrfRebuilt local;
  BrfRebuilt& out = res ? *res : local;
  out = BrfRebuilt{};
  Problems pr{log};
  // Left-out ranges are never cut from the report.
  std::vector<std::string> left;
  auto leave = [&](const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    left.push_back(buf);
  };
  if (brf_is_open(path)) return brf_fail(FM_ST_BUSY, "%s is open in this process", path.c_str());
  if (uint32_t st = not_there(path)) return st;
  Probe pb;
  probe(path, pb);
  if (pb.open_err) return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(pb.open_err));
  if (!is_native(pb)) return brf_fail(FM_ST_SYS, "%s: not a native data file%s", path.c_str(), pb.other.c_str());
  int dfd;
  bool writable;
  struct stat st;
  if (uint32_t status = brf_open_data(path, true, &dfd, &writable, &st))
    return status == FM_ST_BUSY ? in_use(path, "rebuild", 'r') : status;
  if (!writable) {
    uio_close(dfd);
    return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(EACCES));
  }
  int64_t dsize = uio_size(dfd);
  if (dsize < int64_t(kBrfHdrSize + kBrfSlotHdr)) {
    // Cut inside its header: room for a restored one and the end mark.
    if (!pb.copy) {
      uio_close(dfd);
      return brf_fail(FM_ST_SYS, "%s: not a native data file (too short)", path.c_str());
    }
    if (dsize < int64_t(kBrfHdrSize)) out.lost_tail = true;
    if (int e = uio_grow(dfd, kBrfHdrSize + kBrfSlotHdr)) {
      uio_close(dfd);
      return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(e));
    }
  }
  const uint64_t osize = uint64_t(dsize);  // as found
  uint64_t fsize = osize < kBrfHdrSize ? 0 : osize;  // where its records may lie
  dsize = uio_size(dfd);
  if (dsize > int64_t(kBtDataReserve)) dsize = int64_t(kBtDataReserve);
  volatile sig_atomic_t dcut = 0;  // cut short by another user while rebuilt (uio_map)
  uint8_t* d = uio_map(dfd, kBtDataReserve, true, &dcut);
  if (!d) {
    int e = errno;
    uio_close(dfd);
    return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(e));
  }
  // The old index, kept attached: the changes the rebuild makes to the data
  // file in place are journaled as one change of it (old_txn), which the new
  // index's rename completes; a rebuild killed before that leaves the change
  // to be rolled back, and so the file as it was, with its old index.
  BtStore old;
  bool old_txn = false;
  bool replaced = false;  // the new index is in place
  auto done = [&](uint32_t status) {
    if (old_txn && !replaced) static_cast<void>(bt_abort(old));
    bt_detach(old);
    uio_close(old.ifd);
    uio_close(old.jfd);
    uio_unmap(d, kBtDataReserve);
    uio_close(dfd);
    return status;
  };
  std::string ipath = brf_index_path(path), jpath = brf_journal_path(path);
  // A change that a dead process left is rolled back first: the journal may
  // hold old bytes of the data file.
  BrfFileHdr copy{};
  BrfLayout copy_lay;
  bool have_copy = false;
  int rolled = kBtOk;
  {
    old.dfd = dfd;
    old.writable = true;
    old.name = path;
    old.ifd = uio_open(ipath.c_str(), O_RDWR);
    old.jfd = uio_open(jpath.c_str(), O_RDWR);
    bool attached = old.ifd >= 0 && old.jfd >= 0 && bt_attach(old) == kBtOk;
    if (attached && (bt_counter(old) & 1)) {
      // Only the data file's bytes matter now: the index is written anew.
      if (bt_lock(old) == kBtOk) {
        uint64_t bad = 0;
        if (bt_recover_check(old, &bad) != kBtOk) {
          out.unrolled = true;
          leave("a change left unfinished by a process that died could not be rolled back: its journal entry at %llu "
                "names bytes outside the file; the journal is cleared, and the records are kept as they are",
                (unsigned long long)bad);
        } else {
          rolled = bt_recover(old);
          if (rolled == kBtOk) pr.add("rolled back a change left unfinished by a process that died");
        }
      }
    } else if (old.imap && old.jmap && (bt_counter(old) & 1) && pb.index) {
      out.unrolled = true;
      leave("a change left unfinished by a process that died could not be rolled back: its journal is damaged; the "
            "records are kept as they are");
    }
    // An earlier rebuild killed before its last step is completed: the
    // records it moved lie where its header says.
    if (attached && rolled == kBtOk && !(bt_counter(old) & 1) && brf_finish_rebuild(old) == kBtOk)
      pr.add("completed an earlier rebuild that was interrupted");
    if (!attached || (bt_counter(old) & 1)) {
      bt_detach(old);
      uio_close(old.ifd);
      uio_close(old.jfd);
      old.ifd = old.jfd = -1;
    }
    if (rolled == kBtIoError)
      return done(brf_fail(FM_ST_SYS, "%s: the unfinished change cannot be rolled back: %s", path.c_str(),
                           std::strerror(old.err)));
  }
  if (pb.copy) {
    copy = pb.copy_hdr;
    copy_lay = pb.copy_lay;
    have_copy = true;
  }
  auto& h = *reinterpret_cast<BrfFileHdr*>(d);
  BrfLayout lay;
  std::string why;
  LostFile lost;
  lost.path = brfanal_lost_path(path);
  BrfFileHdr base = h;  // the header the new one starts from
  bool zero_ends = false;
  uint32_t end = 0;
  if (brf_decode_hdr(h, &lay, &why)) {
    end = h.end.get();
  } else if (have_copy) {
    // The records' layout from the copy; their counts from the records.
    lay = copy_lay;
    base = copy;
    out.header_restored = true;
    lost.generation = copy.generation.get();
    end = fsize ? restored_end(d, uint64_t(dsize), h, lay, &zero_ends) : kBrfHdrSize;
    pr.add("its file header was damaged: restored from the copy its index file keeps");
  } else {
    return done(brf_fail(FM_ST_SYS, "%s: %s, and its index file keeps no copy of the header: the file cannot be rebuilt",
                         path.c_str(), why.c_str()));
  }
  if (!out.header_restored) lost.generation = h.generation.get();
  if (osize < kBrfHdrSize) {
    out.lost_tail = true;
    leave("the data file ends at %llu, inside its header: its records are lost", (unsigned long long)osize);
    end = kBrfHdrSize;
  } else if (uint64_t(end) > fsize) {
    out.lost_tail = true;
    leave("the data file ends at %llu, before the end of its records at %u: what lay past it is lost",
          (unsigned long long)fsize, end);
    end = uint32_t(fsize);
  }
  DataScan ds;
  std::vector<std::string> scan_notes;
  Problems quiet{&scan_notes};
  scan_data(d, end, lay, ds, quiet, zero_ends);
  end = ds.limit;
  // A range left out becomes a free slot, which needs room for its header
  // and trailer. A shorter one takes the slot after it along: a free slot
  // joins it; a record moves to the end of the records (its bytes kept, its
  // id its new place unless a home slot points at it); a home slot's record
  // stays where it is, under its own id.
  struct Move {
    uint32_t from, to, n;
  };
  std::vector<Move> moves;
  std::vector<uint32_t> to_live;
  uint32_t tail = !ds.gaps.empty() && ds.gaps.back().end == end ? ds.gaps.back().pos : end;
  for (Gap& g : ds.gaps) {
    g.room_end = g.end;
    g.last = g.end == end;
    if (g.last || g.end - g.pos > kBrfSlotOver) continue;
    uint32_t at = g.end;
    const BrfSlotHdr& sh = rec::view<BrfSlotHdr>(d + at);
    uint32_t len = sh.len.get();
    uint8_t state = sh.state.get();
    g.room_end = at + kBrfSlotOver + len;
    if (state == kBrfFree) {
      ds.frees.erase({len, at});
      ds.chained.erase(at);
      ds.free_bytes -= len;
    } else if (state == kBrfHome) {
      uint32_t to = ds.homes[at];
      ds.homes.erase(at);
      --ds.stubs;
      auto it = ds.moved.find(to);
      if (it != ds.moved.end() && it->second.rid == at) {
        it->second.rid = to;
        auto li = ds.by_rid.find(at);
        if (li != ds.by_rid.end()) ds.live[li->second].rid = to;
        to_live.push_back(to);
        pr.add("the home slot at %u joins free space: its record at %u keeps the id %u", at, to, to);
      } else {
        g.end = g.room_end;  // a home slot of no record: left out with the range
      }
    } else {
      moves.push_back({at, tail, kBrfSlotOver + len});
      pr.add("the record at %u moves to %u to make room for free space", at, tail);
      tail += kBrfSlotOver + len;
    }
  }
  for (const Gap& g : ds.gaps)
    leave("left out bytes %u to %u (%u bytes), damaged: %s at %u", g.pos, g.end, g.end - g.pos, g.why.c_str(), g.pos);
  if (!moves.empty() && uint64_t(tail) + kBrfSlotHdr > uint64_t(dsize)) {
    if (int e = uio_grow(dfd, uint64_t(tail) + kBrfSlotHdr + (1u << 20))) return done(brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(e)));
    dsize = uio_size(dfd);
  }
  // A home slot that leads to no moved record may be a record whose header
  // is damaged (its state byte, its sequence): it is left out, not dropped.
  std::vector<uint32_t> orphans;
  for (auto& [home, at] : ds.homes) {
    auto it = ds.moved.find(at);
    if (it != ds.moved.end() && it->second.rid == home) continue;
    orphans.push_back(home);
    uint32_t room = rec::view<BrfSlotHdr>(d + home).len.get();
    leave("left out bytes %u to %u (%u bytes), damaged: a home slot that points at %u, where no moved record is",
          home, home + kBrfSlotOver + room, kBrfSlotOver + room, at);
  }
  for (auto& [at, r] : ds.moved)
    if (r.rid == 0) pr.add("the moved record at %u has no home slot: it keeps the id %u", at, at);
  // The record set the new index will hold: a second record under a unique
  // key cannot stay.
  BrfFile nf;
  nf.path = path;
  nf.lay = lay;
  BtTreeDef defs[kBtTrees];
  brf_tree_defs(lay, defs);
  for (int t = 0; t < kBtTrees; ++t) nf.key_len[t] = defs[t].key_len;
  for (auto& [at, r] : ds.moved) {
    if (r.rid != 0) continue;
    // A moved record whose home is lost lives where it is.
    ds.by_rid[at] = ds.live.size();
    ds.live.push_back({at, at, r.len, r.seq});
  }
  uint32_t nkeys = uint32_t(lay.keys.size());
  std::vector<std::pair<std::string, uint32_t>> ents;
  uint8_t kb[kBtMaxKey];
  std::vector<uint8_t> gone(ds.live.size(), 0);
  auto used = [&](int t) { return t < int(nkeys) || (t == kBtOrderTree && nkeys == 0); };
  // The sorted keys of tree t over the records still kept, each with the
  // record's place in ds.live.
  auto collect = [&](int t) {
    ents.clear();
    for (size_t i = 0; i < ds.live.size(); ++i) {
      const LiveRec& r = ds.live[i];
      if (gone[i]) continue;
      if (brf_key_of(&nf, t, d + r.pos + kBrfSlotHdr, r.len, r.seq, kb))
        ents.emplace_back(std::string(reinterpret_cast<char*>(kb), nf.key_len[t]), uint32_t(i));
    }
    std::sort(ents.begin(), ents.end());
  };
  for (int t = 0; t < kBtTrees; ++t) {
    if (t >= int(nkeys) || (lay.keys[size_t(t)].flags & kBrfKeyDup)) continue;
    collect(t);
    for (size_t j = 1; j < ents.size(); ++j) {
      if (ents[j].first != ents[j - 1].first) continue;
      const LiveRec& r = ds.live[ents[j].second];
      leave("left out the record %u (bytes %u to %u): it repeats a unique key of key %u", r.rid, r.pos,
            r.pos + kBrfSlotOver + r.len, unsigned(lay.keys[size_t(t)].key_no));
      gone[ents[j].second] = 1;
    }
  }
  // Nothing changes before every left-out byte is kept in the side file.
  if (out.header_restored) {
    if (uint32_t e = lost.put(kBrfLostHeader, 0, d, uint32_t(osize < kBrfHdrSize ? osize : kBrfHdrSize)))
      return done(e);
  }
  for (const Gap& g : ds.gaps) {
    if (uint32_t e = lost.put(kBrfLostSlots, g.pos, d + g.pos, g.end - g.pos)) return done(e);
    ++out.left_ranges;
    out.left_bytes += g.end - g.pos;
  }
  for (uint32_t home : orphans) {
    uint32_t n = kBrfSlotOver + rec::view<BrfSlotHdr>(d + home).len.get();
    if (uint32_t e = lost.put(kBrfLostSlots, home, d + home, n)) return done(e);
    ++out.left_ranges;
    out.left_bytes += n;
  }
  for (size_t i = 0; i < ds.live.size(); ++i) {
    if (!gone[i]) continue;
    const LiveRec& r = ds.live[i];
    if (uint32_t e = lost.put(kBrfLostDupKey, r.pos, d + r.pos, kBrfSlotOver + r.len)) return done(e);
    ++out.left_ranges;
    out.left_bytes += kBrfSlotOver + r.len;
  }
  if (uint32_t e = lost.sync()) return done(e);
  if (lost.fd >= 0) out.side_file = lost.path;
  // From here on the data file changes in place: each range is journaled
  // first while the old index can journal it.
  if (old.imap && bt_begin(old) == kBtOk) old_txn = true;
  // A range that cannot be journaled is not changed: the rebuild stops and
  // its change so far is rolled back.
  struct NotJournaled {};
  auto touch = [&](uint64_t off, uint32_t len) {
    if (old_txn && bt_touch_data(old, off, len) != kBtOk) throw NotJournaled{};
  };
  auto not_journaled = [&] {
    return done(brf_fail(FM_ST_SYS, "%s: the rebuild cannot journal its changes: %s; the file is as it was",
                         path.c_str(), std::strerror(old.err ? old.err : EIO)));
  };
  uint32_t next_seq = base.next_seq.get();
  try {
  // Damaged ranges become free space; one at the end shortens the records.
  auto make_free = [&](uint32_t pos) {
    touch(pos, kBrfSlotHdr);
    auto& sh = rec::view<BrfSlotHdr>(d + pos);
    sh.state = kBrfFree;
    sh.seq = 0;
    ds.frees.insert({sh.len.get(), pos});
    ds.free_bytes += sh.len.get();
  };
    for (const Move& m : moves) {
    touch(m.to, m.n);
    std::memmove(d + m.to, d + m.from, m.n);
    // The old copy, now inside free space, must not read as a record.
    touch(m.from, kBrfSlotHdr);
    std::memset(d + m.from, 0, kBrfSlotHdr);
    for (LiveRec& r : ds.live) {
      if (r.pos != m.from) continue;
      r.pos = m.to;
      if (r.rid == m.from) {
        r.rid = m.to;
      } else {
        touch(r.rid, kBrfSlotHdr);
        rec::view<BrfSlotHdr>(d + r.rid).seq = m.to;  // its home slot
      }
    }
    for (auto& [at, r] : ds.moved)
      if (at == m.from && r.rid == 0) {
        // A moved record without a home lives at its new place.
        rec::view<BrfSlotHdr>(d + m.to).state = kBrfLive;
      }
  }
  for (uint32_t at : to_live) {
    touch(at, kBrfSlotHdr);
    rec::view<BrfSlotHdr>(d + at).state = kBrfLive;
  }
  for (const Gap& g : ds.gaps) {
    if (g.last) continue;
    touch(g.pos, kBrfSlotHdr);
    BrfSlotHdr fh;
    std::memset(&fh, 0, sizeof fh);
    fh.state = kBrfFree;
    fh.len = g.room_end - g.pos - kBrfSlotOver;
    std::memcpy(d + g.pos, &fh, sizeof fh);
    ds.frees.insert({fh.len.get(), g.pos});
    ds.free_bytes += fh.len.get();
  }
  end = tail;
  for (uint32_t home : orphans) {
    make_free(home);
    --ds.stubs;
  }
  for (auto& [at, r] : ds.moved)
    if (r.rid == 0) {
      touch(at, kBrfSlotHdr);
      rec::view<BrfSlotHdr>(d + at).state = kBrfLive;
    }
  for (size_t i = 0; i < ds.live.size(); ++i) {
    if (!gone[i]) continue;
    const LiveRec& r = ds.live[i];
    if (r.pos != r.rid) {
      make_free(r.rid);
      --ds.stubs;
    }
    make_free(r.pos);
  }
  // Write sequences must be unique (duplicate trees use them).
  {
    std::set<uint32_t> seen;
    for (LiveRec& r : ds.live)
      if (r.seq >= next_seq) next_seq = r.seq + 1;
    for (size_t i = 0; i < ds.live.size(); ++i) {
      LiveRec& r = ds.live[i];
      if (gone[i] || seen.insert(r.seq).second) continue;
      r.seq = next_seq++;
      touch(r.pos, kBrfSlotHdr + r.len + 4);
      rec::view<BrfSlotHdr>(d + r.pos).seq = r.seq;
      rec::view<rec::U32>(d + r.pos + kBrfSlotHdr + r.len).set(brf_slot_sum(d + r.pos, r.len));
      seen.insert(r.seq);
    }
  }
  // The rebuilt index keeps every free slot in its free-space tree: the
  // free chain (perhaps what the damage was in) is dropped.
  for (auto& [room, off] : ds.frees) {
    if (off >= end) continue;
    auto& sh = rec::view<BrfSlotHdr>(d + off);
    if (sh.seq.get() == 0) continue;
    touch(off, kBrfSlotHdr);
    sh.seq = 0;
  }
  } catch (const NotJournaled&) {
    return not_journaled();
  }
  // The rebuilt header. The new index keeps it as its copy, so that once the
  // index is in place the header can always be taken from there.
  uint32_t dead = 0;
  uint64_t free_bytes = 0;
  for (auto& [room, off] : ds.frees)
    if (off < end) {
      ++dead;
      free_bytes += room;
    }
  uint32_t live = 0;
  for (size_t i = 0; i < ds.live.size(); ++i) {
    if (!gone[i]) ++live;
  }
  BrfFileHdr nh = base;
  uint32_t gen = base.generation.get() + 0x9E3779B9u;
  nh.generation = gen ? gen : 1;
  nh.end = end;
  nh.live = live;
  nh.dead = dead + ds.stubs;
  nh.free_bytes = uint32_t(free_bytes);
  nh.free_chain = 0;
  nh.next_seq = next_seq;
  nh.next_gen = 0;
  nh.sum = brf_hdr_sum(nh);
  // The new index, under the new generation, written beside the old one
  // through its mapping: private until complete (no one else may cut it
  // short while it is written), then the group's, as every data file is.
  std::string itmp = ipath + ".rb", jtmp = jpath + ".rb";
  // (Kept open from their making: never opened again by name.)
  int made[2];
  if (uint32_t status = brf_format_index(itmp, jtmp, nh, lay, 0600, made)) return done(status);
  BtStore& ns = nf.st;
  ns.dfd = dfd;
  ns.writable = true;
  ns.name = path;
  ns.ifd = made[0];
  ns.jfd = made[1];
  auto drop = [&](uint32_t status) {
    bt_detach(ns);
    uio_close(ns.ifd);
    uio_close(ns.jfd);
    uio_unlink(itmp.c_str());
    uio_unlink(jtmp.c_str());
    return done(status);
  };
  if (ns.ifd < 0 || ns.jfd < 0 || bt_attach(ns) != kBtOk || bt_begin(ns) != kBtOk)
    return drop(brf_fail(FM_ST_SYS, "%s: the new index cannot be written", path.c_str()));
  for (int t = 0; t < kBtTrees; ++t) {
    if (!used(t)) continue;
    collect(t);
    for (auto& [k, i] : ents)
      if (bt_insert(ns, t, reinterpret_cast<const uint8_t*>(k.data()), ds.live[i].rid) != kBtOk) {
        static_cast<void>(bt_abort(ns));  // the new index is dropped
        return drop(brf_fail(FM_ST_SYS, "%s: the new index cannot be written", path.c_str()));
      }
  }
  for (auto& [room, off] : ds.frees) {
    if (off >= end) continue;  // a damaged range at the end was cut off
    uint8_t k[8] = {uint8_t(room >> 24), uint8_t(room >> 16), uint8_t(room >> 8), uint8_t(room),
                    uint8_t(off >> 24),  uint8_t(off >> 16),  uint8_t(off >> 8),  uint8_t(off)};
    if (bt_insert(ns, kBtFreeTree, k, off) != kBtOk) {
      static_cast<void>(bt_abort(ns));  // the new index is dropped
      return drop(brf_fail(FM_ST_SYS, "%s: the new index cannot be written", path.c_str()));
    }
  }
  int synced = bt_commit(ns) == kBtOk ? 0 : (ns.err ? ns.err : EIO);
  // Its counter starts past the old index's, so that no entry left in the
  // old journal can ever be taken for one of its changes.
  if (!synced && old_txn) bt_hdr(ns).counter = bt_counter(old) + 3;
  // The new journal starts empty: the entries of the build must never be
  // taken for those of a later change, of this index or of the old one.
  if (!synced && ::ftruncate(ns.jfd, sizeof(BtJnlHdr)) != 0) synced = errno;
  for (int fd : {ns.ifd, ns.jfd})
    if (!synced && ::fchmod(fd, kUioFileMode) != 0) synced = errno;
  if (!synced && uio_sync_mode()) {
    synced = uio_sync(ns.ifd);
    if (!synced) synced = uio_sync(ns.jfd);
  }
  // What goes in place is what was written: a file another user put under
  // one of the names meanwhile is never renamed over the index.
  if (!synced && (!brf_still_named(ns.ifd, itmp) || !brf_still_named(ns.jfd, jtmp))) synced = EEXIST;
  // What was read or written where a cut left no file is not the file's:
  // its changes are rolled back with the old index.
  if (!synced && (dcut || old.cut || ns.cut))
    return drop(brf_fail(FM_ST_SYS, "%s: the file was cut short while it was rebuilt", path.c_str()));
  try {
    if (end + kBrfSlotHdr <= uint64_t(dsize)) {
      touch(end, kBrfSlotHdr);
      std::memset(d + end, 0, kBrfSlotHdr);
    }
    if (!synced && !out.header_restored) touch(0, kBrfHdrSize);
  } catch (const NotJournaled&) {
    bt_detach(ns);
    uio_close(ns.ifd);
    uio_close(ns.jfd);
    uio_unlink(itmp.c_str());
    uio_unlink(jtmp.c_str());
    return not_journaled();
  }
  // The header names the new index before the index takes its place; the
  // word and the check sum after it change in one store, so a kill leaves
  // the header as it was or so marked, never torn. The old index still
  // belongs to it. (A damaged header stays as it was until the end: only a
  // rebuild restores it, from the copy either index keeps.)
  if (!synced && !out.header_restored) {
    static_assert(offsetof(BrfFileHdr, next_gen) % 8 == 0 && offsetof(BrfFileHdr, sum) == offsetof(BrfFileHdr, next_gen) + 4);
    BrfFileHdr marked = h;
    marked.next_gen = nh.generation.get();
    marked.sum = brf_hdr_sum(marked);
    uint64_t word;
    std::memcpy(&word, reinterpret_cast<const uint8_t*>(&marked) + offsetof(BrfFileHdr, next_gen), 8);
    __atomic_store_n(reinterpret_cast<uint64_t*>(d + offsetof(BrfFileHdr, next_gen)), word, __ATOMIC_RELEASE);
    if (uio_sync_mode()) synced = uio_sync(dfd);
  }
  if (synced)
    return drop(brf_fail(FM_ST_SYS, "%s: the new index cannot be written: %s", path.c_str(), std::strerror(synced)));
  bt_detach(ns);
  uio_close(ns.ifd);
  uio_close(ns.jfd);
  // In place. With the data file's changes journaled by the old index, the
  // index first: until its rename the old journal rolls them back, after it
  // they stand. Without, the empty journal first (beside the old index it
  // holds no change to roll back), then the index. From the index's rename
  // on, its copy of the header completes the rebuild, here or at the next
  // open.
  int moved;
  if (old_txn) {
    moved = uio_rename(itmp.c_str(), ipath.c_str());
    replaced = !moved;
    if (!moved) moved = uio_rename(jtmp.c_str(), jpath.c_str());
  } else {
    moved = uio_rename(jtmp.c_str(), jpath.c_str());
    if (!moved) moved = uio_rename(itmp.c_str(), ipath.c_str());
    replaced = !moved;
  }
  if (!moved && uio_sync_mode()) moved = uio_sync_dir(path);
  if (moved) {
    uio_unlink(itmp.c_str());
    uio_unlink(jtmp.c_str());
    return done(brf_fail(FM_ST_SYS, "%s: %s", ipath.c_str(), std::strerror(moved)));
  }
  if (out.header_restored) {
    std::memcpy(d, &nh, sizeof nh);
    if (int e = uio_sync_mode() ? uio_sync(dfd) : 0)
      return done(brf_fail(FM_ST_SYS, "%s: the rebuilt file may not be on the disk: %s", path.c_str(),
                           std::strerror(e)));
  } else {
    BtStore fin;
    fin.dfd = dfd;
    fin.writable = true;
    fin.name = path;
    fin.ifd = uio_open(ipath.c_str(), O_RDWR);
    fin.jfd = uio_open(jpath.c_str(), O_RDWR);
    int rc = fin.ifd >= 0 && fin.jfd >= 0 ? bt_attach(fin) : int(kBtIoError);
    if (rc == kBtOk) rc = brf_finish_rebuild(fin);
    int e = fin.err ? fin.err : EIO;
    bt_detach(fin);
    uio_close(fin.ifd);
    uio_close(fin.jfd);
    if (rc != kBtOk)
      return done(brf_fail(FM_ST_SYS, "%s: the rebuilt index is in place, but its header could not be written (%s): "
                                      "opening the file completes it",
                           path.c_str(), std::strerror(e)));
  }
  pr.finish();
  for (const std::string& l : left) log->push_back(l);
  out.records = live;
  char sum[512];
  if (out.complete()) {
    std::snprintf(sum, sizeof sum, "index rebuilt: %u records kept, nothing left out", live);
  } else if (out.left_ranges) {
    std::snprintf(sum, sizeof sum, "index rebuilt: %u records kept; %u %s (%llu bytes) left out, kept in %s", live,
                  out.left_ranges, out.left_ranges == 1 ? "range" : "ranges", (unsigned long long)out.left_bytes,
                  out.side_file.c_str());
  } else {
    std::snprintf(sum, sizeof sum, "index rebuilt: %u records kept; the file was not whole (above)", live);
  }
  out.summary = sum;
  log->push_back(sum);
  return done(0);
}

// ----------------------------------------------------------- the run mode --
namespace {

// What the utilities take below a directory: a native data file (its first
// bytes say so, or an index file lies beside it), or a sequential file.
enum class Kind { Native, Sequential, Other };

Kind kind_of(const std::string& path) {
  uint8_t head[8] = {};
  if (!read_exact(path, head, sizeof head, 0)) return Kind::Other;
  // What a reorganisation killed before its end left beside its data file.
  uint8_t base[8] = {};
  if (path.size() > 3 && path.compare(path.size() - 3, 3, ".rg") == 0 &&
      read_exact(path.substr(0, path.size() - 3), base, sizeof base, 0) && std::memcmp(base + 4, "QVDF", 4) == 0)
    return Kind::Other;
  if (std::memcmp(head + 4, "QVDF", 4) == 0) return Kind::Native;
  if (std::memcmp(head, "QVSEQ001", 8) == 0) return Kind::Sequential;
  // An index, a journal or a side file belongs to its data file.
  if (std::memcmp(head, "QVIX", 4) == 0 || std::memcmp(head, "QVJN", 4) == 0 || std::memcmp(head, "QVLO", 4) == 0)
    return Kind::Other;
  uint8_t ih[4] = {};
  if (read_exact(brf_index_path(path), ih, sizeof ih, 64) && std::memcmp(ih, "QVIX", 4) == 0) return Kind::Native;
  return Kind::Other;
}

// The regular files below dir, in name order; no symbolic link is followed.
// A directory this user may not read is named in err (its files go
// unchecked, so the run cannot say all is sound).
std::vector<std::string> files_below(const std::string& dir, std::string* err) {
  namespace fs = std::filesystem;
  std::vector<std::string> out;
  auto unread = [&](const std::string& d) {
    if (::access(d.c_str(), R_OK | X_OK) == 0) return false;
    *err += (err->empty() ? "" : "\n") + d + ": " + std::strerror(errno) + " (the files below it are not checked)";
    return true;
  };
  if (unread(dir)) return out;
  std::error_code ec;
  fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::error_code e2;
    fs::file_type t = it->symlink_status(e2).type();
    if (t == fs::file_type::regular) out.push_back(it->path().string());
    if (t == fs::file_type::directory) unread(it->path().string());
  }
  if (ec) *err += (err->empty() ? "" : "\n") + dir + ": " + ec.message();
  std::sort(out.begin(), out.end());
  return out;
}

// A sequential file named or found: what it is, and that the utility has
// nothing to do with it.
void report_sequential(char mode, const std::string& p, long records, FILE* out) {
  const char* what = mode == 'r'   ? "it has no index to rebuild"
                     : mode == 'o' ? "nothing to reorganise"
                     : mode == 'a' ? "nothing to analyse"
                                   : "nothing to verify";
  if (records == 1)
    std::fprintf(out, "%s: a single-record file, not a native file: %s\n", p.c_str(), what);
  else
    std::fprintf(out, "%s: a sequential file of %ld records, not a native file: %s\n", p.c_str(), records, what);
}

// Runs the utility on one native data file (or a path named as one); true
// when it is sound (verify, analyse) or was rebuilt whole.
bool run_one(char mode, const std::string& p, FILE* out) {
  if (mode == 'v' || mode == 'a') {
    BrfCheck c;
    uint32_t st = brfanal_verify(p, &c);
    if (st) {
      std::fprintf(out, "%s\n", brf_error().c_str());
      return false;
    }
    if (mode == 'a' && c.opened) {
      BrfAnalysis a;
      if (brfanal_analyse(p, &a) == 0) {
        std::fprintf(out, "%s\n", p.c_str());
        std::fprintf(out, "  records: %u live (%llu bytes), %u moved, record length %u%s, %u keys\n", a.live,
                     (unsigned long long)a.live_bytes, a.moved, a.rec_len, a.var ? " (variable)" : "", a.key_count);
        std::fprintf(out, "  data file: %llu bytes, records end at %llu, %u free slots (%llu bytes)\n",
                     (unsigned long long)a.data_size, (unsigned long long)a.end, a.free_slots,
                     (unsigned long long)a.free_bytes);
        std::fprintf(out, "  index file: %llu bytes, %u pages, %u free\n", (unsigned long long)a.index_size,
                     a.index_pages, a.free_pages);
        for (const BrfTreeStats& t : a.trees) {
          if (t.key_no >= 0)
            std::fprintf(out, "  key %d: %u entries, depth %u, %u pages, %.0f%% full\n", t.key_no, t.entries, t.height,
                         t.pages, t.fill * 100);
          else
            std::fprintf(out, "  %s: %u entries, depth %u, %u pages, %.0f%% full\n", t.what, t.entries, t.height,
                         t.pages, t.fill * 100);
        }
      }
    }
    if (c.recovered)
      std::fprintf(out, "%s: completed a recovery: rolled back a change left unfinished by a process that died\n",
                   p.c_str());
    if (c.sound()) {
      std::string trees;
      for (auto& [what, n] : c.trees) trees += (trees.empty() ? "" : ", ") + what + " " + std::to_string(n);
      std::fprintf(out, "%s: sound (%u records, %u free slots, %u moved; index entries: %s)\n", p.c_str(), c.records,
                   c.free_slots, c.moved, trees.c_str());
      return true;
    }
    std::fprintf(out, "%s: %s\n", p.c_str(), c.pending ? "NOT CHECKED: a recovery is pending" : "NOT SOUND");
    for (const std::string& line : c.problems) std::fprintf(out, "  %s\n", line.c_str());
    if (!c.advice.empty())
      std::fprintf(out, "  %s\n", c.advice.c_str());
    else
      std::fprintf(out, "  no file utility can repair it: restore the file from a backup\n");
    return false;
  }
  if (mode == 'o') {
    BrfReorganised r;
    if (brfanal_reorganise(p, &r)) {
      std::fprintf(out, "%s\n", brf_error().c_str());
      return false;
    }
    std::fprintf(out, "%s: reorganised: %u records in key order, data file %llu bytes (was %llu)\n", p.c_str(),
                 r.records, (unsigned long long)r.size_after, (unsigned long long)r.size_before);
    return true;
  }
  std::vector<std::string> lines;
  BrfRebuilt r;
  uint32_t st = brfanal_rebuild(p, &lines, &r);
  for (const std::string& line : lines) std::fprintf(out, "%s: %s\n", p.c_str(), line.c_str());
  if (st) {
    std::fprintf(out, "%s\n", brf_error().c_str());
    return false;
  }
  return r.complete();
}

}  // namespace

int brfanal_main(char mode, const std::vector<std::string>& paths, FILE* out) {
  if (mode != 'v' && mode != 'a' && mode != 'r' && mode != 'o') {
    std::fprintf(out, "unknown file utility -f%c\n", mode);
    return kExitUsage;
  }
  if (paths.empty()) {
    std::fprintf(out, "no file named\n");
    return kExitUsage;
  }
  int status = 0;
  for (const std::string& p : paths) {
    struct stat st;
    if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      // Every native data file below the directory.
      std::string err;
      std::vector<std::string> files = files_below(p, &err);
      int native = 0, bad = 0;
      for (const std::string& f : files) {
        Kind k = kind_of(f);
        if (k == Kind::Sequential) report_sequential(mode, f, fms_seq_records(f), out);
        if (k != Kind::Native) continue;
        ++native;
        if (!run_one(mode, f, out)) ++bad;
      }
      if (!err.empty()) {
        std::fprintf(out, "%s\n", err.c_str());
        status = kExitNotSound;
      }
      const char* done = mode == 'r' ? "rebuilt" : mode == 'o' ? "reorganised" : mode == 'a' ? "analysed" : "verified";
      const char* fault = mode == 'r' ? "not rebuilt whole" : mode == 'o' ? "not reorganised" : "not sound";
      if (native == 0) {
        // A directory not read has said so: there may be files below it.
        if (err.empty()) std::fprintf(out, "%s: no native files below it\n", p.c_str());
      } else if (bad == 0) {
        std::fprintf(out, "%s: %d native %s %s, %s\n", p.c_str(), native, native == 1 ? "file" : "files", done,
                     mode == 'r' ? "nothing left out" : mode == 'o' ? "all of them" : "all sound");
      } else {
        std::fprintf(out, "%s: %d native %s %s, %d %s\n", p.c_str(), native, native == 1 ? "file" : "files", done,
                     bad, fault);
      }
      if (bad) status = kExitNotSound;
      continue;
    }
    long records = brf_exists(p) && !brf_is_open(p) ? fms_seq_records(p) : -1;
    if (records >= 0) {
      report_sequential(mode, p, records, out);
      continue;
    }
    if (!run_one(mode, p, out)) status = kExitNotSound;
  }
  if (mode == 'a')
    std::fprintf(out, "%s\n", status == 0 ? "exit status 0: every file is sound"
                                          : "exit status 2: not every file is sound (above)");
  return status;
}
