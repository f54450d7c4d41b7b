#include "files/brfanal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
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

// What a scan of the data file's slots found.
struct DataScan {
  std::vector<LiveRec> live;
  std::unordered_map<uint32_t, size_t> by_rid;
  std::set<std::pair<uint32_t, uint32_t>> frees;  // (room, offset)
  std::map<uint32_t, uint32_t> homes;             // home offset -> record offset
  std::map<uint32_t, LiveRec> moved;              // record offset -> record (rid unknown yet)
  uint32_t scanned_end = 0;                       // where the sound slots end
  uint32_t stubs = 0;
  uint64_t live_bytes = 0, free_bytes = 0;
};

bool len_ok(const BrfLayout& lay, uint32_t len) { return lay.var ? len <= lay.rec_len : len == lay.rec_len; }

// Scans slots from the header to end. Damaged live records are reported
// (and, for a rebuild, listed in bad).
void scan_data(const uint8_t* d, uint32_t end, const BrfLayout& lay, DataScan& s, Problems& pr,
               std::vector<uint32_t>* bad) {
  uint32_t pos = kBrfHdrSize;
  while (pos < end) {
    if (uint64_t(pos) + kBrfSlotOver > end) {
      pr.add("data: the slot at %u runs past the end of the records (%u)", pos, end);
      break;
    }
    const BrfSlotHdr& h = rec::view<BrfSlotHdr>(d + pos);
    uint32_t len = h.len.get();
    uint8_t state = h.state.get();
    if (len == 0) {
      pr.add("data: the records end at %u, before the header's end %u", pos, end);
      break;
    }
    if (uint64_t(pos) + kBrfSlotOver + len > end) {
      pr.add("data: the slot at %u (%u bytes) runs past the end of the records (%u)", pos, len, end);
      break;
    }
    if (state == kBrfLive || state == kBrfMoved) {
      uint32_t trailer = rec::view<rec::U32>(d + pos + kBrfSlotHdr + len).get();
      if (!len_ok(lay, len) || trailer != brf_slot_sum(d + pos, len)) {
        pr.add("data: the record at %u is damaged (check sum or length)", pos);
        if (bad) bad->push_back(pos);
      } else if (state == kBrfLive) {
        s.by_rid[pos] = s.live.size();
        s.live.push_back({pos, pos, len, h.seq.get()});
        s.live_bytes += len;
      } else {
        s.moved[pos] = {0, pos, len, h.seq.get()};
        s.live_bytes += len;
      }
    } else if (state == kBrfFree) {
      s.frees.insert({len, pos});
      s.free_bytes += len;
    } else if (state == kBrfHome) {
      s.homes[pos] = h.seq.get();
      ++s.stubs;
    } else {
      pr.add("data: the slot at %u has an unknown state %u", pos, unsigned(state));
      if (bad) bad->push_back(pos);
    }
    pos += kBrfSlotOver + len;
  }
  s.scanned_end = pos < end ? pos : end;
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

// Holds the shared index lock on a state with no change under way.
bool lock_quiet(BrfFile* f) {
  BtStore& s = f->st;
  for (int i = 0; i < 3; ++i) {
    if (bt_lock_shared(s) != kBtOk) return false;
    if (!(bt_counter(s) & 1)) return true;
    bt_unlock(s);
    if (!s.writable || bt_begin(s) != kBtOk) return false;
    if (bt_abort(s) != kBtOk) return false;
  }
  return false;
}

// Verify and analyse: everything under the shared lock.
void examine(BrfFile* f, BrfCheck* check, BrfAnalysis* an) {
  std::vector<std::string> sink;
  Problems pr{check ? &check->problems : &sink};
  BtStore& s = f->st;
  if (!lock_quiet(f)) {
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
  scan_data(s.dmap, end, lay, ds, pr, nullptr);
  if (ds.live.size() != h.live.get())
    pr.add("data: %zu live records, the header says %u", ds.live.size(), h.live.get());
  if (ds.frees.size() + ds.stubs != h.dead.get())
    pr.add("data: %zu free and moved-away slots, the header says %u", ds.frees.size() + ds.stubs, h.dead.get());
  if (ds.free_bytes != h.free_bytes.get())
    pr.add("data: %llu free bytes, the header says %u", (unsigned long long)ds.free_bytes, h.free_bytes.get());
  std::set<uint32_t> seqs;
  for (const LiveRec& r : ds.live) {
    if (r.seq >= h.next_seq.get()) pr.add("data: the record %u has a sequence beyond the header's", r.rid);
    if (!seqs.insert(r.seq).second) pr.add("data: the record %u repeats a sequence number", r.rid);
  }
  // The index, tree by tree.
  BtHdr& ih = bt_hdr(s);
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
    if (check) check->entries += uint32_t(w.entries.size());
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
        if (!ds.frees.count(key) || key.second != v)
          pr.add("index: the free-space entry (%u bytes at %u) names no free slot", key.first, key.second);
        seen.insert(key);
      }
      for (auto& fr : ds.frees)
        if (!seen.count(fr)) pr.add("index: the free slot at %u (%u bytes) is not in the free-space tree", fr.second, fr.first);
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
  if (check) check->records = uint32_t(ds.live.size());
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

}  // namespace

uint32_t brfanal_verify(const std::string& path, BrfCheck* out) {
  *out = BrfCheck{};
  if (!brf_exists(path)) return brf_fail(FM_ST_NOT_FOUND, "%s: no such file", path.c_str());
  BrfFile* f;
  uint32_t st = brf_open(path, false, &f);
  if (st == FM_ST_BUSY) return st;
  if (st) {
    out->problems.push_back(brf_error());
    return 0;
  }
  out->opened = true;
  examine(f, out, nullptr);
  brf_close(f, false);
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
uint32_t brfanal_rebuild(const std::string& path, std::vector<std::string>* log) {
  std::vector<std::string> sink;
  if (!log) log = &sink;
  Problems pr{log};
  if (brf_is_open(path)) return brf_fail(FM_ST_BUSY, "%s is open in this process", path.c_str());
  int dfd;
  bool writable;
  struct stat st;
  if (uint32_t status = brf_open_data(path, true, &dfd, &writable, &st)) return status;
  if (!writable) {
    uio_close(dfd);
    return brf_fail(FM_ST_SYS, "%s: the file may not be written", path.c_str());
  }
  BtStore s;
  s.dfd = dfd;
  s.writable = true;
  s.name = path;
  int64_t dsize = uio_size(dfd);
  if (dsize < int64_t(kBrfHdrSize)) {
    uio_close(dfd);
    return brf_fail(FM_ST_SYS, "%s: not a native data file (too short)", path.c_str());
  }
  uint8_t* d = uio_map(dfd, kBtDataReserve, true);
  if (!d) {
    int e = errno;
    uio_close(dfd);
    return brf_fail(FM_ST_SYS, "%s: %s", path.c_str(), std::strerror(e));
  }
  auto done = [&](uint32_t status) {
    uio_unmap(d, kBtDataReserve);
    uio_close(dfd);
    return status;
  };
  std::string ipath = brf_index_path(path), jpath = brf_journal_path(path);
  // A change that a dead process left is rolled back first: the journal may
  // hold old bytes of the data file.
  int rolled = kBtOk;
  {
    BtStore old;
    old.dfd = dfd;
    old.writable = true;
    old.name = path;
    old.ifd = uio_open(ipath.c_str(), O_RDWR);
    old.jfd = uio_open(jpath.c_str(), O_RDWR);
    if (old.ifd >= 0 && old.jfd >= 0 && bt_attach(old) == kBtOk && (bt_counter(old) & 1)) {
      // Only the data file's bytes matter now: the index is written anew.
      if (uio_lock(old.ifd, kBtChangeLock, UioLock::Write, kUioWaitForever, path.c_str()) == 0) {
        rolled = bt_recover(old);
        if (rolled == kBtOk) pr.add("rolled back a change left unfinished by a process that died");
      }
    }
    bt_detach(old);
    uio_close(old.ifd);
    uio_close(old.jfd);
    if (rolled == kBtIoError)
      return done(brf_fail(FM_ST_SYS, "%s: the unfinished change cannot be rolled back: %s", path.c_str(),
                           std::strerror(old.err)));
  }
  auto& h = *reinterpret_cast<BrfFileHdr*>(d);
  BrfLayout lay;
  std::string why;
  if (!brf_decode_hdr(h, &lay, &why))
    return done(brf_fail(FM_ST_SYS, "%s: %s; the file cannot be rebuilt", path.c_str(), why.c_str()));
  uint32_t end = h.end.get();
  if (end > uint64_t(dsize)) {
    pr.add("the data file is shorter than its header says: records past %lld are lost", (long long)dsize);
    end = uint32_t(dsize);
  }
  DataScan ds;
  std::vector<uint32_t> bad;
  scan_data(d, end, lay, ds, pr, &bad);
  if (ds.scanned_end < end) {
    pr.add("the records end at %u: what followed is dropped", ds.scanned_end);
    end = ds.scanned_end;
  }
  // Damaged records and unlinked slots become free space.
  auto make_free = [&](uint32_t pos) {
    auto& sh = rec::view<BrfSlotHdr>(d + pos);
    sh.state = kBrfFree;
    ds.frees.insert({sh.len.get(), pos});
    ds.free_bytes += sh.len.get();
  };
  for (uint32_t pos : bad) make_free(pos);
  for (auto& [home, at] : ds.homes) {
    auto it = ds.moved.find(at);
    if (it == ds.moved.end() || it->second.rid != home) {
      make_free(home);
      --ds.stubs;
    }
  }
  for (auto& [at, r] : ds.moved) {
    if (r.rid != 0) continue;
    // A moved record whose home is lost lives where it is.
    rec::view<BrfSlotHdr>(d + at).state = kBrfLive;
    ds.by_rid[at] = ds.live.size();
    ds.live.push_back({at, at, r.len, r.seq});
  }
  // Write sequences must be unique (duplicate trees use them).
  uint32_t next_seq = h.next_seq.get();
  {
    std::set<uint32_t> seen;
    for (LiveRec& r : ds.live)
      if (r.seq >= next_seq) next_seq = r.seq + 1;
    for (LiveRec& r : ds.live) {
      if (seen.insert(r.seq).second) continue;
      r.seq = next_seq++;
      rec::view<BrfSlotHdr>(d + r.pos).seq = r.seq;
      rec::view<rec::U32>(d + r.pos + kBrfSlotHdr + r.len).set(brf_slot_sum(d + r.pos, r.len));
      seen.insert(r.seq);
    }
  }
  // The new index, under a new generation, written beside the old one.
  BrfFileHdr nh = h;
  uint32_t gen = h.generation.get() + 0x9E3779B9u;
  nh.generation = gen ? gen : 1;
  std::string itmp = ipath + ".rb", jtmp = jpath + ".rb";
  if (uint32_t status = brf_format_index(itmp, jtmp, nh, lay, O_TRUNC)) return done(status);
  BrfFile nf;
  nf.path = path;
  nf.lay = lay;
  BtTreeDef defs[kBtTrees];
  brf_tree_defs(lay, defs);
  for (int t = 0; t < kBtTrees; ++t) nf.key_len[t] = defs[t].key_len;
  BtStore& ns = nf.st;
  ns.dfd = dfd;
  ns.writable = true;
  ns.name = path;
  ns.ifd = uio_open(itmp.c_str(), O_RDWR);
  ns.jfd = uio_open(jtmp.c_str(), O_RDWR);
  auto drop = [&](uint32_t status) {
    bt_detach(ns);
    uio_close(ns.ifd);
    uio_close(ns.jfd);
    ::unlink(itmp.c_str());
    ::unlink(jtmp.c_str());
    return done(status);
  };
  if (ns.ifd < 0 || ns.jfd < 0 || bt_attach(ns) != kBtOk || bt_begin(ns) != kBtOk)
    return drop(brf_fail(FM_ST_SYS, "%s: the new index cannot be written", path.c_str()));
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
    if (!used(t)) continue;
    collect(t);
    for (size_t j = 0; j < ents.size(); ++j) {
      if (j > 0 && ents[j].first == ents[j - 1].first) {
        // A second record under a unique key: it cannot stay.
        const LiveRec& r = ds.live[ents[j].second];
        pr.add("the record %u repeats a unique key of key %u and is dropped", r.rid, unsigned(lay.keys[size_t(t)].key_no));
        gone[ents[j].second] = 1;
      }
    }
  }
  // Dropped records must leave every tree: build all trees from the final set.
  for (size_t i = 0; i < ds.live.size(); ++i) {
    if (!gone[i]) continue;
    const LiveRec& r = ds.live[i];
    if (r.pos != r.rid) {
      make_free(r.rid);
      --ds.stubs;
    }
    make_free(r.pos);
  }
  uint32_t live = 0;
  for (size_t i = 0; i < ds.live.size(); ++i) {
    if (!gone[i]) ++live;
  }
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
    uint8_t k[8] = {uint8_t(room >> 24), uint8_t(room >> 16), uint8_t(room >> 8), uint8_t(room),
                    uint8_t(off >> 24),  uint8_t(off >> 16),  uint8_t(off >> 8),  uint8_t(off)};
    if (bt_insert(ns, kBtFreeTree, k, off) != kBtOk) {
      static_cast<void>(bt_abort(ns));  // the new index is dropped
      return drop(brf_fail(FM_ST_SYS, "%s: the new index cannot be written", path.c_str()));
    }
  }
  int synced = bt_commit(ns) == kBtOk ? 0 : (ns.err ? ns.err : EIO);
  if (!synced && uio_sync_mode()) {
    synced = uio_sync(ns.ifd);
    if (!synced) synced = uio_sync(dfd);
  }
  if (synced)
    return drop(brf_fail(FM_ST_SYS, "%s: the new index cannot be written: %s", path.c_str(), std::strerror(synced)));
  // In place: the index first, then the header that names its generation
  // (a crash between the two leaves a pair that a rebuild puts right).
  int moved = uio_rename(itmp.c_str(), ipath.c_str());
  if (!moved) moved = uio_rename(jtmp.c_str(), jpath.c_str());
  if (moved) return drop(brf_fail(FM_ST_SYS, "%s: %s", ipath.c_str(), std::strerror(moved)));
  bt_detach(ns);
  uio_close(ns.ifd);
  uio_close(ns.jfd);
  nh.end = end;
  nh.live = live;
  nh.dead = uint32_t(ds.frees.size()) + ds.stubs;
  nh.free_bytes = uint32_t(ds.free_bytes);
  nh.next_seq = next_seq;
  nh.sum = brf_hdr_sum(nh);
  if (end + kBrfSlotHdr <= uint64_t(dsize)) std::memset(d + end, 0, kBrfSlotHdr);
  std::memcpy(d, &nh, sizeof nh);
  int flushed = uio_sync_mode() ? uio_sync_dir(path) : 0;
  if (!flushed && uio_sync_mode()) flushed = uio_sync(dfd);
  if (int e = flushed)
    return done(
        brf_fail(FM_ST_SYS, "%s: the rebuilt file may not be on the disk: %s", path.c_str(), std::strerror(e)));
  pr.add("index rebuilt: %u records", live);
  pr.finish();
  return done(0);
}

// ----------------------------------------------------------- the run mode --
int brfanal_main(char mode, const std::vector<std::string>& paths, FILE* out) {
  int status = 0;
  if (paths.empty()) {
    std::fprintf(out, "no file named\n");
    return kExitUsage;
  }
  for (const std::string& p : paths) {
    if (mode == 'v' || mode == 'a') {
      BrfCheck c;
      uint32_t st = brfanal_verify(p, &c);
      if (st) {
        std::fprintf(out, "%s\n", brf_error().c_str());
        status = kExitNotSound;
        continue;
      }
      if (mode == 'a' && c.opened) {
        BrfAnalysis a;
        if (brfanal_analyse(p, &a) == 0) {
          std::fprintf(out, "%s\n", p.c_str());
          std::fprintf(out, "  records: %u live (%llu bytes), %u moved, record length %u%s, %u keys\n", a.live,
                       (unsigned long long)a.live_bytes, a.moved, a.rec_len, a.var ? " (variable)" : "",
                       a.key_count);
          std::fprintf(out, "  data file: %llu bytes, records end at %llu, %u free slots (%llu bytes)\n",
                       (unsigned long long)a.data_size, (unsigned long long)a.end, a.free_slots,
                       (unsigned long long)a.free_bytes);
          std::fprintf(out, "  index file: %llu bytes, %u pages, %u free\n", (unsigned long long)a.index_size,
                       a.index_pages, a.free_pages);
          for (const BrfTreeStats& t : a.trees) {
            if (t.key_no >= 0)
              std::fprintf(out, "  key %d: %u entries, depth %u, %u pages, %.0f%% full\n", t.key_no, t.entries,
                           t.height, t.pages, t.fill * 100);
            else
              std::fprintf(out, "  %s: %u entries, depth %u, %u pages, %.0f%% full\n", t.what, t.entries,
                           t.height, t.pages, t.fill * 100);
          }
        }
      }
      if (c.sound()) {
        std::fprintf(out, "%s: sound (%u records, %u index entries)\n", p.c_str(), c.records, c.entries);
      } else {
        std::fprintf(out, "%s: NOT SOUND\n", p.c_str());
        for (const std::string& line : c.problems) std::fprintf(out, "  %s\n", line.c_str());
        status = kExitNotSound;
      }
    } else if (mode == 'r') {
      std::vector<std::string> lines;
      uint32_t st = brfanal_rebuild(p, &lines);
      for (const std::string& line : lines) std::fprintf(out, "%s: %s\n", p.c_str(), line.c_str());
      if (st) {
        std::fprintf(out, "%s\n", brf_error().c_str());
        status = kExitNotSound;
      }
    } else {
      std::fprintf(out, "unknown file utility -f%c\n", mode);
      return kExitUsage;
    }
  }
  return status;
}
