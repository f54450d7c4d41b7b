// File manager storage: the memory-resident back end and sequential files.
//
// Memory-resident files. A file lives in the engine arena for as long as its
// scope (or until it is scratched), whether or not a handle is open on it.
// An identity has at most one file per scope: a create in a scope that has
// none makes a new file there, even when outer scopes have one (a process
// gets its own copy of a work file while its caller keeps its file). An
// open, locate or scratch reaches the innermost file the asking scope sees:
// the one of its own scope or, without one, of the nearest outer scope; only
// when every file of the identity lies deeper is the nearest of those taken
// (as a handle of an outer scope opened on a file of a nested one always
// could). The asking scope is the scope of the handle for opens and creates
// (the owning pool's with FM_OPT_MEMORY), and for locate, scratch and rename
// the owning pool's with FM_OPT_MEMORY, else the current scope (all files).
// Records are numbered
// from 1 in write order (the record id; numbers are not reused), kept in
// arena memory, so that the address of a record (fm_read_fast, MADDR) stays
// valid until the record is rewritten longer, deleted or the file goes away.
// A write with the fast bit (FM_OP_FAST) stores the caller's block itself
// (by reference): the file keeps that block, never copies or frees it, and
// reading yields it. Each key is an in-memory B+-tree of fixed-width entries:
// the normalised key followed by the record id (big-endian), so entries are
// unique and duplicates of a key come out in write order. Keyless files read
// in record-id order. Holds are per handle: a record held by one handle and
// read with hold by another is delivered with 200520.
//
// Sequential files (disk files without keys): records of up to 32,767 bytes
// appended in order after a 32-byte header ("QVSEQ001", record length,
// variable flag, structure stamp); each record is a little-endian u32 length
// and its bytes. Records are read in order or by record id (their ordinal),
// rewritten in place at their own length, and all deleted at once; a single
// record cannot be deleted.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "files/fmint.h"
#include "files/unixio.h"
#include "foundation/bi.h"

namespace {

// =========================================================== B+-tree ==
class BTree {
 public:
  struct Node {
    uint16_t n;
    uint8_t leaf;
    Node* next;  // leaves: the next leaf
  };
  struct Pos {
    Node* leaf = nullptr;
    uint32_t i = 0;
  };

  // Entries of `width` bytes ordered and told apart by their first `cmp`
  // bytes; the rest is payload.
  BTree(uint32_t width, uint32_t cmp) : w_(width), c_(cmp) {
    lcap_ = std::max<uint32_t>(8, (4096 - sizeof(Node)) / w_);
    icap_ = std::max<uint32_t>(8, (4096 - sizeof(Node) - 8) / (w_ + 8));
  }
  ~BTree() { clear(); }
  BTree(const BTree&) = delete;
  BTree& operator=(const BTree&) = delete;

  uint32_t width() const { return w_; }
  uint64_t version() const { return ver_; }
  size_t size() const { return size_; }

  void clear() {
    if (root_) destroy(root_);
    root_ = nullptr;
    last_ = nullptr;
    size_ = 0;
    ++ver_;
  }

  // false when the entry is present already.
  bool insert(const uint8_t* e) { return add<false>(e); }
  // Adds an entry that compares greater than greatest() (or to a bare
  // tree): the same tree as insert, without searching the way down.
  void append(const uint8_t* e) { (void)add<true>(e); }
  // The greatest entry when the last leaf holds it; null when the tree is
  // empty or its last leaf was emptied by erases.
  const uint8_t* greatest() const { return last_ && last_->n ? lkey(last_, last_->n - 1) : nullptr; }
  // No nodes at all (never written, or cleared).
  bool bare() const { return root_ == nullptr; }

  bool erase(const uint8_t* e) {
    Node* n = root_;
    if (!n) return false;
    while (!n->leaf) n = kids(n)[child_ub(n, e, c_)];
    uint32_t i = leaf_lb(n, e, c_);
    if (i >= n->n || std::memcmp(lkey(n, i), e, c_) != 0) return false;
    std::memmove(lkey(n, i), lkey(n, i + 1), size_t(n->n - i - 1) * w_);
    --n->n;
    --size_;
    ++ver_;
    return true;
  }

  // Replaces the payload of the entry that compares equal; positions stay valid.
  bool update(const uint8_t* e) {
    Node* n = root_;
    if (!n) return false;
    while (!n->leaf) n = kids(n)[child_ub(n, e, c_)];
    uint32_t i = leaf_lb(n, e, c_);
    if (i >= n->n || std::memcmp(lkey(n, i), e, c_) != 0) return false;
    std::memcpy(lkey(n, i), e, w_);
    return true;
  }

  // First entry whose first len bytes are >= k (gt: > k).
  Pos seek(const uint8_t* k, uint32_t len, bool gt) const {
    Node* n = root_;
    if (!n) return {};
    while (!n->leaf) n = kids(n)[gt ? child_ub(n, k, len) : child_lb(n, k, len)];
    Pos p{n, gt ? leaf_ub(n, k, len) : leaf_lb(n, k, len)};
    settle(p);
    return p;
  }
  Pos first() const {
    Node* n = root_;
    if (!n) return {};
    while (!n->leaf) n = kids(n)[0];
    Pos p{n, 0};
    settle(p);
    return p;
  }
  void next(Pos& p) const {
    ++p.i;
    settle(p);
  }
  static bool end(const Pos& p) { return p.leaf == nullptr; }
  // The entry after p in its leaf, null at the leaf's end (for prefetching).
  const uint8_t* peek(const Pos& p) const { return p.i + 1 < p.leaf->n ? lkey(p.leaf, p.i + 1) : nullptr; }
  const uint8_t* at(const Pos& p) const { return lkey(p.leaf, p.i); }

 private:
  struct Split {
    Node* right = nullptr;
    std::vector<uint8_t> sep;
  };
  uint32_t w_, c_, lcap_, icap_;
  Node* root_ = nullptr;
  Node* last_ = nullptr;  // the last leaf (the end of the leaves' chain)
  size_t size_ = 0;
  uint64_t ver_ = 1;

  uint8_t* lkey(Node* n, uint32_t i) const { return reinterpret_cast<uint8_t*>(n + 1) + size_t(i) * w_; }
  Node** kids(Node* n) const { return reinterpret_cast<Node**>(n + 1); }
  uint8_t* ikey(Node* n, uint32_t i) const {
    return reinterpret_cast<uint8_t*>(kids(n) + icap_ + 1) + size_t(i) * w_;
  }
  Node* new_leaf() {
    auto* n = static_cast<Node*>(std::malloc(sizeof(Node) + size_t(lcap_) * w_));
    n->n = 0;
    n->leaf = 1;
    n->next = nullptr;
    return n;
  }
  Node* new_inner() {
    auto* n = static_cast<Node*>(std::malloc(sizeof(Node) + (icap_ + 1) * sizeof(Node*) + size_t(icap_) * w_));
    n->n = 0;
    n->leaf = 0;
    n->next = nullptr;
    return n;
  }
  void destroy(Node* n) {
    if (!n->leaf)
      for (uint32_t i = 0; i <= n->n; ++i) destroy(kids(n)[i]);
    std::free(n);
  }
  void settle(Pos& p) const {
    while (p.leaf && p.i >= p.leaf->n) {
      p.leaf = p.leaf->next;
      p.i = 0;
    }
  }
  // First entry of a leaf (or child of an inner node) whose key prefix is
  // >= k, or > k for an upper bound.
  template <bool Upper, bool Leaf>
  uint32_t bound(Node* n, const uint8_t* k, uint32_t len) const {
    uint32_t lo = 0, hi = n->n;
    while (lo < hi) {
      uint32_t m = (lo + hi) / 2;
      int c = std::memcmp(Leaf ? lkey(n, m) : ikey(n, m), k, len);
      if (Upper ? c <= 0 : c < 0) lo = m + 1;
      else hi = m;
    }
    return lo;
  }
  uint32_t leaf_lb(Node* n, const uint8_t* k, uint32_t len) const { return bound<false, true>(n, k, len); }
  uint32_t leaf_ub(Node* n, const uint8_t* k, uint32_t len) const { return bound<true, true>(n, k, len); }
  uint32_t child_lb(Node* n, const uint8_t* k, uint32_t len) const { return bound<false, false>(n, k, len); }
  uint32_t child_ub(Node* n, const uint8_t* k, uint32_t len) const { return bound<true, false>(n, k, len); }

  template <bool Append>
  bool add(const uint8_t* e) {
    // An append the last leaf has room for changes no other node.
    if (Append && last_ && last_->n < lcap_) {
      std::memcpy(lkey(last_, last_->n), e, w_);
      ++last_->n;
      ++size_;
      ++ver_;
      return true;
    }
    if (!root_) root_ = last_ = new_leaf();
    Split sp;
    if (!ins<Append>(root_, e, &sp)) return false;
    if (sp.right) {
      Node* r = new_inner();
      r->n = 1;
      kids(r)[0] = root_;
      kids(r)[1] = sp.right;
      std::memcpy(ikey(r, 0), sp.sep.data(), w_);
      root_ = r;
    }
    ++size_;
    ++ver_;
    return true;
  }

  // Append: the entry goes after every other (the last place of each node).
  template <bool Append>
  bool ins(Node* n, const uint8_t* e, Split* sp) {
    if (n->leaf) {
      uint32_t i = Append ? n->n : leaf_lb(n, e, c_);
      if (!Append && i < n->n && std::memcmp(lkey(n, i), e, c_) == 0) return false;
      if (n->n < lcap_) {
        if (!Append) std::memmove(lkey(n, i + 1), lkey(n, i), size_t(n->n - i) * w_);   // (nothing after an append)
        std::memcpy(lkey(n, i), e, w_);
        ++n->n;
        return true;
      }
      // Split: appends at the end keep the left leaf full.
      Node* r = new_leaf();
      uint32_t keep = i == n->n ? n->n : n->n / 2;
      r->n = uint16_t(n->n - keep);
      std::memcpy(lkey(r, 0), lkey(n, keep), size_t(r->n) * w_);
      n->n = uint16_t(keep);
      r->next = n->next;
      n->next = r;
      if (last_ == n) last_ = r;
      Node* t = i <= keep && !(i == keep && keep == lcap_) ? n : r;
      if (t == r) i -= keep;
      std::memmove(lkey(t, i + 1), lkey(t, i), size_t(t->n - i) * w_);
      std::memcpy(lkey(t, i), e, w_);
      ++t->n;
      sp->right = r;
      sp->sep.assign(lkey(r, 0), lkey(r, 0) + w_);
      return true;
    }
    uint32_t c = Append ? n->n : child_ub(n, e, c_);
    Split sub;
    if (!ins<Append>(kids(n)[c], e, &sub)) return false;
    if (!sub.right) return true;
    if (n->n < icap_) {
      std::memmove(ikey(n, c + 1), ikey(n, c), size_t(n->n - c) * w_);
      std::memmove(kids(n) + c + 2, kids(n) + c + 1, size_t(n->n - c) * sizeof(Node*));
      std::memcpy(ikey(n, c), sub.sep.data(), w_);
      kids(n)[c + 1] = sub.right;
      ++n->n;
      return true;
    }
    // Split the inner node: gather n keys + 1 and n + 2 children.
    std::vector<uint8_t> keys(size_t(n->n + 1) * w_);
    std::vector<Node*> ch(n->n + 2);
    std::memcpy(keys.data(), ikey(n, 0), size_t(c) * w_);
    std::memcpy(keys.data() + size_t(c) * w_, sub.sep.data(), w_);
    std::memcpy(keys.data() + size_t(c + 1) * w_, ikey(n, c), size_t(n->n - c) * w_);
    for (uint32_t i = 0, j = 0; i <= n->n; ++i) {
      ch[j++] = kids(n)[i];
      if (i == c) ch[j++] = sub.right;
    }
    uint32_t total = n->n + 1;
    uint32_t mid = c == n->n ? total - 1 : total / 2;  // appends keep the left node full
    Node* r = new_inner();
    n->n = uint16_t(mid);
    std::memcpy(ikey(n, 0), keys.data(), size_t(mid) * w_);
    for (uint32_t i = 0; i <= mid; ++i) kids(n)[i] = ch[i];
    r->n = uint16_t(total - mid - 1);
    std::memcpy(ikey(r, 0), keys.data() + size_t(mid + 1) * w_, size_t(r->n) * w_);
    for (uint32_t i = 0; i <= r->n; ++i) kids(r)[i] = ch[mid + 1 + i];
    sp->right = r;
    sp->sep.assign(keys.data() + size_t(mid) * w_, keys.data() + size_t(mid + 1) * w_);
    return true;
  }
};

// ============================================================== slab ==
// Record storage in arena chunks, with free lists by 16-byte size class.
class Slab {
  static constexpr size_t kKeptChunk = size_t(512) << 10, kMaxChunk = size_t(4) << 20, kKeptChunks = 16;

 public:
  ~Slab() { clear(); }
  uint8_t* alloc(size_t n, uint32_t* cap) {
    n = (std::max<size_t>(n, 1) + 15) & ~size_t(15);
    *cap = uint32_t(n);
    size_t cls = n / 16;
    if (cls < free_.size() && !free_[cls].empty()) {
      uint8_t* p = free_[cls].back();
      free_[cls].pop_back();
      return p;
    }
    if (n > left_) {
      size_t size = std::max(chunk_, n);
      auto* p = static_cast<uint8_t*>(arena::alloc_chunk(size));
      if (!p) return nullptr;
      chunks_.push_back({p, size});
      bump_ = p;
      left_ = size;
      // Up to 512 KiB until the file holds kKeptChunks chunks, then up to
      // 4 MiB: the arena keeps the pages of chunks below 1 MiB for the next
      // user, so the first few megabytes of a file that goes and comes
      // again (a check's statements, a module's sub-files) are not faulted
      // in anew each time; a larger file's growth gives its pages back.
      if (chunk_ < kKeptChunk || (chunks_.size() >= kKeptChunks && chunk_ < kMaxChunk)) chunk_ *= 2;
    }
    uint8_t* p = bump_;
    bump_ += n;
    left_ -= n;
    return p;
  }
  void release(uint8_t* p, uint32_t cap) {
    size_t cls = cap / 16;
    if (cls >= free_.size()) free_.resize(cls + 1);
    free_[cls].push_back(p);
  }
  void clear() {
    for (auto& c : chunks_) arena::free_chunk(c.first, c.second);
    chunks_.clear();
    free_.clear();
    bump_ = nullptr;
    left_ = 0;
    chunk_ = 64 * 1024;
  }
  // Forgets every block; the first chunk stays for the blocks to come, the
  // others go (a file emptied for another use keeps no more than that).
  void reset() {
    if (chunks_.empty()) return clear();
    for (size_t i = 1; i < chunks_.size(); ++i) arena::free_chunk(chunks_[i].first, chunks_[i].second);
    chunks_.resize(1);
    // The lists keep their room for the next use, as the records' table
    // does: a large file's, not.
    for (auto& l : free_) {
      l.clear();
      if (l.capacity() > 4096) l.shrink_to_fit();
    }
    bump_ = chunks_[0].first;
    left_ = chunks_[0].second;
    chunk_ = 128 * 1024;
  }

 private:
  std::vector<std::pair<uint8_t*, size_t>> chunks_;
  std::vector<std::vector<uint8_t*>> free_;
  uint8_t* bump_ = nullptr;
  size_t left_ = 0;
  size_t chunk_ = 64 * 1024;
};

// ======================================================= memory files ==
constexpr uint32_t kLive = 1, kByRef = 2;

struct MemRec {
  uint8_t* data = nullptr;
  uint32_t len = 0;
  uint32_t cap = 0;
  uint32_t flags = 0;
  uint8_t* shadow = nullptr;  // by-reference records: their index entries' keys
};

// A key's normal form made in a few steps, its segments' bytes in order:
// runs of copied bytes (text segments and one-byte binary ones next to each
// other in the record), four-byte binary numbers byte-swapped, other binary
// numbers reversed. Keys with a descending segment have none (norm_rec_key
// makes theirs).
struct KeyStep {
  uint16_t src, len;
  uint8_t kind;  // kStepCopy, kStepSwap4, kStepReverse
};
enum : uint8_t { kStepCopy, kStepSwap4, kStepReverse };

struct MemKey {
  const FmKdb* kd;
  std::vector<KeyStep> plan;
  uint32_t klen;
  uint32_t cw;  // compared part of an entry: key and record id
  uint32_t ew;  // whole entry: and the record's place and length
  bool unique;
  bool nullsupp;
  std::unique_ptr<BTree> tree;
};

struct Cur;

// The records held: record id and holder's fm_id. A cursor holds one record
// at a time, so the list stays as short as the file's handles are few.
struct Holds {
  std::vector<std::pair<uint32_t, uint32_t>> v;
  uint32_t* find(uint32_t rid) {
    for (auto& h : v)
      if (h.first == rid) return &h.second;
    return nullptr;
  }
  void set(uint32_t rid, uint32_t id) {
    if (uint32_t* h = find(rid)) *h = id;
    else v.emplace_back(rid, id);
  }
  void erase(uint32_t rid) {
    for (auto& h : v)
      if (h.first == rid) {
        h = v.back();
        v.pop_back();
        return;
      }
  }
  void clear() { v.clear(); }
};

struct MemFile {
  std::string ident;
  FmFdb fdb;           // as created; kdb points at `kdb`
  FmKdb* kdb = nullptr;  // own copy (file manager pool)
  int scope = 0;
  size_t scope_at = 0;  // its place in the scope's list (Mem::by_scope)
  MemFile* same = nullptr;  // the next file of the identity, of an inner scope (Mem::files)
  // The records by id: recs[i] has id base + i + 1. Ids are never given
  // twice; when the last live record goes the slots go with it and base
  // moves on, so a file whose records come and go stays small.
  std::vector<MemRec> recs;
  uint32_t base = 0;
  uint32_t live = 0;
  MemRec& rec(uint32_t rid) { return recs[rid - 1 - base]; }
  const MemRec& rec(uint32_t rid) const { return recs[rid - 1 - base]; }
  uint32_t first_rid() const { return base + 1; }
  uint32_t last_rid() const { return base + uint32_t(recs.size()); }
  // After a delete: an empty file drops its slots.
  void trim() {
    if (live != 0) return;
    base += uint32_t(recs.size());
    recs.clear();
  }
  std::vector<MemKey> keys;
  Holds holds;
  std::vector<Cur*> curs;
  Slab slab;
  size_t shadow_len = 0;
  uint32_t key_end = 0;  // end of the last key byte in a record
};

// The bytes a record's keys are taken from: the record itself, or, when a
// short variable-length record ends before its keys do, a copy of it that
// goes on with zero bytes (as the native files read such keys).
const uint8_t* key_source(const MemFile* f, const uint8_t* data, size_t len, std::vector<uint8_t>& pad) {
  if (len >= f->key_end) return data;
  pad.assign(f->key_end, 0);
  std::memcpy(pad.data(), data, len);
  return pad.data();
}

enum { BEFORE, AT, END, SEEK_GE, SEEK_GT };

struct Cur {
  FmArb* arb = nullptr;
  MemFile* f = nullptr;
  int key = 0;
  int st = BEFORE;
  std::vector<uint8_t> pos;  // entry at AT; key at SEEK_*
  uint32_t rid = 0;          // current record (AT; keyless SEEK_GE: the id to start at)
  uint32_t held = 0;
  // The record the last read with hold delivered, held or not: a rewrite or
  // delete changes the held record only while it is this one.
  uint32_t hold_target = 0;
  const uint8_t* data = nullptr;  // the current record (AT)
  BTree::Pos it;
  uint64_t ver = 0;
};

// The files by identity: an open-addressed table of the identities' hashes
// and first files (the files of one identity, one per scope, chained
// outermost first through MemFile::same). A look-up reads one slot, or a
// few neighbours, whatever the number of files: the file of a new identity
// made by an invocation costs the same with thousands of files elsewhere.
class Idents {
 public:
  // The outermost file of the identity, null for none.
  MemFile* first(const std::string& id) const { return slots_[find(id, hash(id))].head; }
  void insert(MemFile* f) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    uint64_t h = hash(f->ident);
    Slot& s = slots_[find(f->ident, h)];
    if (!s.head) {
      s.h = h;
      ++used_;
    }
    MemFile** p = &s.head;
    while (*p && (*p)->scope <= f->scope) p = &(*p)->same;
    f->same = *p;
    *p = f;
  }
  // False when f is not in the table.
  bool erase(MemFile* f) {
    size_t i = find(f->ident, hash(f->ident));
    MemFile** p = &slots_[i].head;
    while (*p && *p != f) p = &(*p)->same;
    if (!*p) return false;
    *p = f->same;
    f->same = nullptr;
    if (!slots_[i].head) vacate(i);
    return true;
  }

 private:
  struct Slot {
    uint64_t h = 0;  // 0: empty
    MemFile* head = nullptr;
  };
  std::vector<Slot> slots_ = std::vector<Slot>(64);
  size_t used_ = 0;

  static uint64_t hash(const std::string& id) {
    uint64_t h = std::hash<std::string_view>{}(id);
    return h ? h : 1;
  }
  size_t mask() const { return slots_.size() - 1; }
  // The slot of the identity, else the empty one where it would go.
  size_t find(const std::string& id, uint64_t h) const {
    for (size_t i = h & mask();; i = (i + 1) & mask()) {
      const Slot& s = slots_[i];
      if (s.h == 0 || (s.h == h && s.head->ident == id)) return i;
    }
  }
  // Empties slot i, moving back the entries after it that it kept from
  // their own slots (linear probing's deletion).
  void vacate(size_t i) {
    --used_;
    size_t j = i;
    for (;;) {
      slots_[i] = Slot{};
      for (;;) {
        j = (j + 1) & mask();
        if (slots_[j].h == 0) return;
        size_t k = slots_[j].h & mask();  // where it belongs
        // It stays unless its own slot is outside (i, j], cyclically.
        bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
        if (!stays) break;
      }
      slots_[i] = slots_[j];
      i = j;
    }
  }
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& s : old) {
      if (s.h == 0) continue;
      size_t i = s.h & mask();
      while (slots_[i].h != 0) i = (i + 1) & mask();
      slots_[i] = s;
    }
  }
};

struct Mem {
  Idents files;
  // The files of each scope, so that a scope's release visits only its own.
  std::vector<std::vector<MemFile*>> by_scope;
  size_t count = 0;
  std::vector<Cur*> curs{nullptr};
  std::vector<uint32_t> free_curs;
};
// (Every handler asks for it: after the first call, one load in line.)
std::atomic<Mem*> mem_state{nullptr};
Mem& first_mem() {
  static Mem m;
  mem_state.store(&m, std::memory_order_release);
  return m;
}
inline Mem& M() {
  Mem* m = mem_state.load(std::memory_order_acquire);
  return m ? *m : first_mem();
}

std::string ident_of(const FmFdb& f) {
  return std::string(reinterpret_cast<const char*>(&f) + 4, 22);
}

// The file of an identity that the scope sees (see the head of the file).
MemFile* find_in(const std::string& id, int scope) {
  MemFile* seen = nullptr;
  for (MemFile* f = M().files.first(id); f; f = f->same) {
    if (f->scope > scope) return seen ? seen : f;
    seen = f;
  }
  return seen;
}
// The file of an identity in exactly that scope.
MemFile* find_at(const std::string& id, int scope) {
  for (MemFile* f = M().files.first(id); f; f = f->same)
    if (f->scope == scope) return f;
  return nullptr;
}
void add_file(MemFile* f) {
  M().files.insert(f);
  ++M().count;
  auto& bs = M().by_scope;
  size_t sc = size_t(std::max(f->scope, 0));
  if (bs.size() <= sc) bs.resize(sc + 1);
  f->scope_at = bs[sc].size();
  bs[sc].push_back(f);
}
void remove_file(MemFile* f) {
  if (!M().files.erase(f)) return;
  --M().count;
  auto& own = M().by_scope[size_t(std::max(f->scope, 0))];
  own[f->scope_at] = own.back();
  own[f->scope_at]->scope_at = f->scope_at;
  own.pop_back();
}
// The scope a descriptor asks from when no handle is made: the owning
// pool's with FM_OPT_MEMORY, else the current one.
int asking_scope(const FmFdb& f) {
  int scope = com.depth;
  if (f.options & FM_OPT_MEMORY) {
    int ps = mm_pool_scope(f.pool);
    if (ps >= 0 && ps < scope) scope = ps;
  }
  return scope;
}
MemFile* find_file(const FmFdb& f) { return find_in(ident_of(f), asking_scope(f)); }

// (In line: every handler starts here.)
[[gnu::always_inline]] inline Cur* cur(const FmArb* a) {
  uint32_t id = a->be_id;
  const std::vector<Cur*>& curs = M().curs;
  return id && id < curs.size() ? curs[id] : nullptr;
}

// The entry of a record in a key: normalised key and big-endian record id.
// The steps of a key's normal form (see KeyStep): none when a segment is
// descending.
std::vector<KeyStep> key_plan(const FmKdb& kd) {
  std::vector<KeyStep> plan;
  const FmSdb* sg = kd.segs.get();
  for (int j = 0; j < kd.seg_count; ++j) {
    const FmSdb& g = sg[j];
    if (g.order == '-') return {};
    const uint16_t off = g.offset, len = g.length;
    const uint8_t kind = g.type != FM_SEG_BINARY || len == 1 ? kStepCopy : len == 4 ? kStepSwap4 : kStepReverse;
    if (kind == kStepCopy && !plan.empty() && plan.back().kind == kStepCopy &&
        plan.back().src + plan.back().len == off)
      plan.back().len = uint16_t(plan.back().len + len);
    else
      plan.push_back({off, len, kind});
  }
  return plan;
}

void entry(const MemKey& k, const uint8_t* data, uint32_t rid, uint8_t* out) {
  if (k.plan.empty()) {
    fmi::norm_rec_key(*k.kd, data, out);
  } else {
    uint8_t* o = out;
    for (const KeyStep& st : k.plan) {
      const uint8_t* src = data + st.src;
      if (st.kind == kStepCopy) {
        std::memcpy(o, src, st.len);
      } else if (st.kind == kStepSwap4) {
        uint32_t w;
        std::memcpy(&w, src, 4);
        w = __builtin_bswap32(w);
        std::memcpy(o, &w, 4);
      } else {
        for (uint32_t i = 0; i < st.len; ++i) o[i] = src[st.len - 1 - i];
      }
      o += st.len;
    }
  }
  out[k.klen] = uint8_t(rid >> 24);
  out[k.klen + 1] = uint8_t(rid >> 16);
  out[k.klen + 2] = uint8_t(rid >> 8);
  out[k.klen + 3] = uint8_t(rid);
}
// The payload of an entry: where the record is and how long, so that reads
// in key order go straight from the index to the record.
void set_payload(const MemKey& k, uint8_t* e, const uint8_t* data, uint32_t len) {
  rec::view<rec::U32>(e + k.cw).set(arena::offset_of(data));
  rec::view<rec::U32>(e + k.cw + 4).set(len);
}
uint8_t* entry_data(const MemKey& k, const uint8_t* e) {
  return static_cast<uint8_t*>(arena::at(rec::view<rec::U32>(e + k.cw)));
}
uint32_t entry_len(const MemKey& k, const uint8_t* e) { return rec::view<rec::U32>(e + k.cw + 4); }
uint32_t entry_rid(const MemKey& k, const uint8_t* e) {
  const uint8_t* p = e + k.klen;
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
bool indexed(const MemKey& k, const uint8_t* data, int key_no) {
  return !(k.nullsupp && key_no > 0 && fmi::key_is_null(*k.kd, data));
}

// The entry of a stored record (by-reference records: from their shadow).
void stored_entry(const MemFile* f, int key_no, uint32_t rid, uint8_t* out) {
  const MemKey& k = f->keys[key_no];
  const MemRec& r = f->rec(rid);
  if (r.flags & kByRef) {
    size_t at = 0;
    for (int i = 0; i < key_no; ++i) at += f->keys[i].klen;
    std::memcpy(out, r.shadow + at, k.klen);
    out[k.klen] = uint8_t(rid >> 24);
    out[k.klen + 1] = uint8_t(rid >> 16);
    out[k.klen + 2] = uint8_t(rid >> 8);
    out[k.klen + 3] = uint8_t(rid);
  } else {
    std::vector<uint8_t> pad;
    entry(k, key_source(f, r.data, r.len, pad), rid, out);
  }
}
// Whether a stored record is entered in a key (null keys may be left out).
bool stored_indexed(const MemFile* f, int key_no, uint32_t rid) {
  const MemKey& k = f->keys[key_no];
  if (!k.nullsupp || key_no == 0) return true;
  uint8_t e[FM_MAX_KEY_LEN + 12];
  stored_entry(f, key_no, rid, e);
  BTree::Pos it = k.tree->seek(e, k.cw, false);
  return !BTree::end(it) && std::memcmp(k.tree->at(it), e, k.cw) == 0;
}

// A by-reference record's shadow anew (made by the write, in the file's
// slab: such a record has no block of its own, so its cap is the shadow's).
void make_shadow(MemFile* f, MemRec& r, const uint8_t* data) {
  assert(r.shadow);
  size_t at = 0;
  for (auto& k : f->keys) {
    fmi::norm_rec_key(*k.kd, data, r.shadow + at);
    at += k.klen;
  }
}

void build_keys(MemFile* f) {
  f->keys.clear();
  f->shadow_len = 0;
  for (int i = 0; i < f->fdb.key_count; ++i) {
    const FmKdb* kd = f->kdb + i;
    MemKey k;
    k.kd = kd;
    k.plan = key_plan(*kd);
    k.klen = kd->key_len;
    k.unique = !(kd->flags & FM_KEY_DUP);
    k.nullsupp = kd->flags & FM_KEY_NULL_SUPP;
    k.cw = k.klen + 4;
    k.ew = k.klen + 12;
    k.tree = std::make_unique<BTree>(k.ew, k.cw);
    f->shadow_len += k.klen;
    for (int j = 0; j < kd->seg_count; ++j)
      f->key_end = std::max<uint32_t>(f->key_end, kd->segs.get()[j].offset + kd->segs.get()[j].length);
    f->keys.push_back(std::move(k));
  }
}

void free_rec(MemFile* f, MemRec& r) {
  if (!(r.flags & kByRef) && r.data) f->slab.release(r.data, r.cap);
  if (r.shadow) f->slab.release(r.shadow, r.cap);
  r = MemRec{};
}

void destroy_file(MemFile* f) {
  remove_file(f);
  if (f->kdb) mm_free(f->kdb);
  delete f;
}

// Copies the descriptors with their segments (file manager pool).
FmKdb* copy_kdb(const FmKdb* src, int count) {
  if (!src || count <= 0) return nullptr;
  size_t nseg = 0;
  for (int k = 0; k < count; ++k) nseg += src[k].seg_count;
  auto* block = static_cast<uint8_t*>(MM_ALLOC(fmi::pool(), count * sizeof(FmKdb) + nseg * sizeof(FmSdb) + 1));
  auto* kd = reinterpret_cast<FmKdb*>(block);
  auto* sd = reinterpret_cast<FmSdb*>(block + count * sizeof(FmKdb));
  for (int k = 0; k < count; ++k) {
    kd[k] = src[k];
    size_t n = src[k].seg_count;
    std::memcpy(static_cast<void*>(sd), src[k].segs.get(), n * sizeof(FmSdb));
    kd[k].segs.set(sd);
    sd += n;
  }
  return kd;
}

// Lets the file block describe the file as it is.
void describe(FmArb* a, MemFile* f) {
  FmFdb& d = a->file->fdb;
  d.rec_len = f->fdb.rec_len;
  d.var = f->fdb.var;
  d.key_count = f->fdb.key_count;
  d.org = f->fdb.org;
  d.kdb.set(f->kdb);
  d.stamp[0] = f->fdb.stamp[0];
  d.stamp[1] = f->fdb.stamp[1];
}

bool stamps_differ(const FmFdb& want, const FmFdb& have) {
  if (want.options & FM_OPT_NO_STRUCT) return false;
  if (want.stamp[0] == 0xFFFFFFFFu && want.stamp[1] == 0xFFFFFFFFu) return false;
  if (have.stamp[0] == 0xFFFFFFFFu && have.stamp[1] == 0xFFFFFFFFu) return false;
  return want.stamp[0] != have.stamp[0] || want.stamp[1] != have.stamp[1];
}

void bind(FmArb* a, MemFile* f) {
  Cur* c = cur(a);
  c->f = f;
  c->key = a->key_no < f->fdb.key_count ? a->key_no : 0;
  f->curs.push_back(c);
}

void unhold(Cur* c) {
  if (c->held && c->f) {
    uint32_t* h = c->f->holds.find(c->held);
    if (h && *h == c->arb->fm_id) c->f->holds.erase(c->held);
  }
  c->held = 0;
}

// ------------------------------------------------------------- slots --
int m_alloc_id(FmArb* a) {
  Mem& m = M();
  Cur* c = new Cur;
  c->arb = a;
  uint32_t id;
  if (!m.free_curs.empty()) {
    id = m.free_curs.back();
    m.free_curs.pop_back();
    m.curs[id] = c;
  } else {
    id = uint32_t(m.curs.size());
    m.curs.push_back(c);
  }
  a->be_id = id;
  return 1;
}

void m_free_id(FmArb* a) {
  Cur* c = cur(a);
  if (!c) return;
  unhold(c);
  if (c->f) {
    auto& v = c->f->curs;
    v.erase(std::remove(v.begin(), v.end(), c), v.end());
  }
  M().curs[a->be_id] = nullptr;
  M().free_curs.push_back(a->be_id);
  a->be_id = 0;
  delete c;
}

int m_create(FmArb* a) {
  FmFile* fb = a->file.get();
  const FmFdb& d = fb->fdb;
  std::string id = ident_of(d);
  // One file per scope; create-or-open opens the file the scope sees.
  MemFile* old = find_at(id, fb->scope);
  if (!old && (d.options & FM_OPT_CREATE)) old = find_in(id, fb->scope);
  if (old) {
    if (!(d.options & FM_OPT_CREATE)) return fmi::fail(a, FM_ST_EXISTS);
    if (stamps_differ(d, old->fdb)) return fmi::fail(a, FM_ST_STRUCT);
    describe(a, old);
    bind(a, old);
    return 1;
  }
  auto* f = new MemFile;
  f->ident = id;
  f->fdb = d;
  f->fdb.handle.reset();
  f->fdb.status = 0;
  f->kdb = copy_kdb(fb->kdb.get(), d.key_count);
  f->fdb.kdb.set(f->kdb);
  f->fdb.scope = fb->scope;
  f->scope = fb->scope;
  if (f->fdb.key_count && f->fdb.org != FM_ORG_KEYED) f->fdb.org = FM_ORG_KEYED;
  build_keys(f);
  if (d.expect && d.expect < 10000000) f->recs.reserve(d.expect);
  add_file(f);
  describe(a, f);
  bind(a, f);
  return 1;
}

int m_open(FmArb* a) {
  const FmFdb& d = a->file->fdb;
  MemFile* f = find_in(ident_of(d), a->file->scope);
  if (!f) return fmi::fail(a, FM_ST_NOT_FOUND);
  if (stamps_differ(d, f->fdb)) return fmi::fail(a, FM_ST_STRUCT);
  describe(a, f);
  bind(a, f);
  return 1;
}

int m_attach(FmArb*, FmArb* s) {
  FmArb* p = s->parent.get();
  Cur* pc = cur(p);
  if (!pc || !pc->f) return fmi::fail(s, FM_ST_NO_STREAM);
  bind(s, pc->f);
  return 1;
}

int m_close(FmArb* req, FmArb*) {
  if (Cur* c = cur(req)) unhold(c);
  return 1;
}
int m_detach(FmArb* req, FmArb*) { return m_close(req, req); }

int m_locate(FmFdb* fdb) { return find_file(*fdb) ? 1 : fmi::fail(fdb, FM_ST_NOT_FOUND); }

int m_scratch(FmFdb* fdb) {
  MemFile* f = find_file(*fdb);
  if (!f) return fmi::fail(fdb, FM_ST_NOT_FOUND);
  if (!f->curs.empty()) return fmi::fail(fdb, FM_ST_SCRATCH_OPEN);
  destroy_file(f);
  return 1;
}

int m_rename(FmFdb* from, FmFdb* to) {
  MemFile* f = find_file(*from);
  if (!f) return fmi::fail(to, FM_ST_NOT_FOUND);
  if (find_at(ident_of(*to), f->scope)) return fmi::fail(to, FM_ST_EXISTS);
  if (!f->curs.empty()) return fmi::fail(to, FM_ST_SCRATCH_OPEN);
  remove_file(f);
  f->ident = ident_of(*to);
  std::memcpy(reinterpret_cast<char*>(&f->fdb) + 4, f->ident.data(), 22);
  add_file(f);
  return 1;
}

int m_nam(FmArb*, FmName* out) {
  if (out) *out = FmName{nullptr, 0};
  return 0;
}

MemRec* live_rec(MemFile* f, uint32_t rid) {
  if (rid < f->first_rid() || rid > f->last_rid()) return nullptr;
  MemRec& r = f->rec(rid);
  return (r.flags & kLive) ? &r : nullptr;
}

// Holds (when asked) and delivers a record: its id, place and length.
int take(FmArb* a, Cur* c, uint32_t rid, const uint8_t* data, uint32_t len) {
  MemFile* f = c->f;
  c->data = data;
  if (a->op & FM_OP_HOLD) c->hold_target = rid;
  a->rid = rid;
  a->rid_len = 4;
  int rc = 1;
  if (a->op & FM_OP_HOLD) {
    uint32_t* h = f->holds.find(rid);
    if (h && *h != a->fm_id) {
      rc = 0;
      a->status = FM_ST_HELD_SELF;
    } else {
      if (c->held && c->held != rid) unhold(c);
      f->holds.set(rid, a->fm_id);
      c->held = rid;
    }
  }
  if (a->op & FM_OP_FAST) {
    a->len_read = uint16_t(len);
    return rc;
  }
  int d = fmi::deliver(a, data, len);
  return rc && d;
}
int take(FmArb* a, Cur* c, uint32_t rid) {
  MemRec* r = live_rec(c->f, rid);
  if (!r) return fmi::fail(a, FM_ST_NO_RECORD);
  return take(a, c, rid, r->data, r->len);
}

void place_at(Cur* c, uint32_t rid) {
  MemFile* f = c->f;
  c->rid = rid;
  c->st = AT;
  c->ver = 0;
  if (c->key >= 0 && !f->keys.empty() && stored_indexed(f, c->key, rid)) {
    c->pos.resize(f->keys[c->key].ew);
    stored_entry(f, c->key, rid, c->pos.data());
    c->pos.resize(f->keys[c->key].cw);
  } else if (!f->keys.empty()) {
    c->pos.clear();
  }
}

int m_read(FmArb* req, FmArb* a) {
  (void)req;
  Cur* c = cur(a);
  MemFile* f = c->f;
  uint16_t op = a->op;
  bool keyed = !f->keys.empty();
  if (keyed) c->key = a->key_no;
  if ((op & FM_OP_RID) || !keyed) {
    uint32_t rid = a->rid;
    if (f->fdb.org == FM_ORG_SINGLE && !(op & FM_OP_RID)) rid = 1;
    if (!keyed && (op & FM_OP_FIRST)) {
      rid = 0;
      for (uint32_t i = f->first_rid(); i <= f->last_rid(); ++i)
        if (f->rec(i).flags & kLive) {
          rid = i;
          break;
        }
    }
    if (!live_rec(f, rid)) return fmi::fail(a, FM_ST_NO_RECORD);
    place_at(c, rid);
    return take(a, c, rid);
  }
  MemKey& k = f->keys[c->key];
  BTree::Pos it;
  if (op & FM_OP_FIRST) {
    it = k.tree->first();
  } else {
    uint8_t nk[FM_MAX_KEY_LEN + 4];
    size_t n;
    if (op & FM_OP_KEY) {
      n = fmi::norm_key(*k.kd, a->key.get(), a->key_len, nk);
    } else {
      fmi::norm_rec_key(*k.kd, a->rec.get(), nk);
      n = k.klen;
    }
    it = k.tree->seek(nk, uint32_t(n), false);
    if (!(op & FM_OP_GE) && !BTree::end(it) && std::memcmp(k.tree->at(it), nk, n) != 0) it = BTree::Pos{};
  }
  if (BTree::end(it)) return fmi::fail(a, FM_ST_NO_RECORD);
  const uint8_t* e = k.tree->at(it);
  uint32_t rid = entry_rid(k, e);
  c->pos.assign(e, e + k.cw);
  c->rid = rid;
  c->st = AT;
  c->it = it;
  c->ver = k.tree->version();
  return take(a, c, rid, entry_data(k, e), entry_len(k, e));
}

int m_start(FmArb* req, FmArb* a) {
  (void)req;
  Cur* c = cur(a);
  MemFile* f = c->f;
  uint16_t op = a->op;
  if (f->keys.empty()) {
    c->st = BEFORE;
    if (op & FM_OP_RID) {
      c->st = SEEK_GE;
      c->rid = a->rid;
    }
    return 1;
  }
  c->key = a->key_no;
  MemKey& k = f->keys[c->key];
  if (op & FM_OP_AT) {
    c->pos.resize(k.ew);
    size_t n = fmi::norm_key(*k.kd, a->key.get(), a->key_len, c->pos.data());
    c->pos.resize(n);
    c->st = ((op & FM_OP_GE) || (a->range & 16)) ? SEEK_GT : SEEK_GE;
  } else if ((op & FM_OP_RID) && live_rec(f, a->rid)) {
    // Before the record of that id: the next read delivers it.
    place_at(c, a->rid);
    c->st = SEEK_GE;
  } else {
    c->st = BEFORE;
  }
  return 1;
}

int m_rdnxt(FmArb* req, FmArb* a) {
  (void)req;
  Cur* c = cur(a);
  MemFile* f = c->f;
  if (f->keys.empty()) {
    uint32_t from = c->st == BEFORE ? 1 : (c->st == SEEK_GE ? c->rid : c->st == AT ? c->rid + 1 : UINT32_MAX);
    for (uint32_t i = std::max(from, f->first_rid()); i <= f->last_rid() && i != UINT32_MAX; ++i)
      if (f->rec(i).flags & kLive) {
        c->rid = i;
        c->st = AT;
        return take(a, c, i);
      }
    c->st = END;
    return fmi::fail(a, FM_ST_EOF);
  }
  int want = a->key_no;
  if (want != c->key) {
    // Another key: go on from the current record in that key's order.
    c->key = want;
    if (c->st == AT && live_rec(f, c->rid) && stored_indexed(f, want, c->rid)) {
      c->pos.resize(f->keys[want].ew);
      stored_entry(f, want, c->rid, c->pos.data());
      c->pos.resize(f->keys[want].cw);
      c->ver = 0;
    } else if (c->st != END) {
      c->st = BEFORE;
    }
  }
  MemKey& k = f->keys[c->key];
  BTree& t = *k.tree;
  BTree::Pos it;
  switch (c->st) {
    case BEFORE: it = t.first(); break;
    case SEEK_GE: it = t.seek(c->pos.data(), uint32_t(c->pos.size()), false); break;
    case SEEK_GT: it = t.seek(c->pos.data(), uint32_t(c->pos.size()), true); break;
    case AT:
      if (c->ver == t.version() && !BTree::end(c->it)) {
        it = c->it;
        t.next(it);
      } else {
        it = t.seek(c->pos.data(), k.cw, true);
      }
      break;
    default: return fmi::fail(a, FM_ST_EOF);
  }
  if (BTree::end(it)) {
    c->st = END;
    return fmi::fail(a, FM_ST_EOF);
  }
  const uint8_t* e = t.at(it);
  // Reading in key order jumps around the records: fetch the next one early
  // (its first 256 bytes).
  if (const uint8_t* nx = t.peek(it)) {
    const uint8_t* d = entry_data(k, nx);
    const uint32_t n = std::min<uint32_t>(entry_len(k, nx), 256);
    for (uint32_t o = 0; o < n; o += 64) __builtin_prefetch(d + o);
    if (n) __builtin_prefetch(d + n - 1);
  }
  uint32_t rid = entry_rid(k, e);
  c->pos.assign(e, e + k.cw);
  c->rid = rid;
  c->st = AT;
  c->it = it;
  c->ver = t.version();
  return take(a, c, rid, entry_data(k, e), entry_len(k, e));
}

// A flag per key of a file (a file has at most 255 keys).
struct KeyFlags {
  bool v[256];
  void fill(size_t n, bool b) { std::memset(v, b, n); }
  bool& operator[](size_t i) { return v[i]; }
  bool operator[](size_t i) const { return v[i]; }
};

// Checks the unique keys for a record's new entries (except its own).
int check_unique(FmArb* a, MemFile* f, const std::vector<uint8_t>& ents, const KeyFlags& use, uint32_t rid) {
  size_t at = 0;
  for (size_t i = 0; i < f->keys.size(); ++i) {
    MemKey& k = f->keys[i];
    const uint8_t* e = ents.data() + at;
    at += k.ew;
    if (!k.unique || !use[i]) continue;
    BTree::Pos it = k.tree->seek(e, k.klen, false);
    while (!BTree::end(it) && std::memcmp(k.tree->at(it), e, k.klen) == 0) {
      if (entry_rid(k, k.tree->at(it)) != rid) return fmi::fail(a, FM_ST_DUP_KEY);
      k.tree->next(it);
    }
  }
  return 1;
}

void entries_of(MemFile* f, const uint8_t* data, uint32_t rid, std::vector<uint8_t>* ents, KeyFlags* use) {
  size_t total = 0;
  for (auto& k : f->keys) total += k.ew;
  ents->resize(total);
  use->fill(f->keys.size(), true);
  size_t at = 0;
  for (size_t i = 0; i < f->keys.size(); ++i) {
    entry(f->keys[i], data, rid, ents->data() + at);
    (*use)[i] = indexed(f->keys[i], data, int(i));
    at += f->keys[i].ew;
  }
}

// Where a new entry goes: after every entry of its key (true), or
// anywhere (false: the tree is searched). An entry after all others
// duplicates a key only when it has the greatest entry's key.
bool goes_last(const MemKey& k, const uint8_t* e, bool* dup) {
  *dup = false;
  if (k.tree->bare()) return true;
  const uint8_t* g = k.tree->greatest();
  if (!g || std::memcmp(e, g, k.cw) <= 0) return false;
  *dup = k.unique && std::memcmp(e, g, k.klen) == 0;
  return true;
}

// Whether a record's new entries may go in: 0 with 200170 when one
// duplicates a unique key. last[i]: key i's entry goes after all others.
int admit(FmArb* a, MemFile* f, const std::vector<uint8_t>& ents, const KeyFlags& use, uint32_t rid,
          KeyFlags* last) {
  last->fill(f->keys.size(), false);
  bool search = false;
  size_t at = 0;
  for (size_t i = 0; i < f->keys.size(); ++i) {
    bool dup = false;
    (*last)[i] = use[i] && goes_last(f->keys[i], ents.data() + at, &dup);
    if (dup) return fmi::fail(a, FM_ST_DUP_KEY);
    search = search || (use[i] && !(*last)[i]);
    at += f->keys[i].ew;
  }
  return search ? check_unique(a, f, ents, use, rid) : 1;
}

// Enters a stored record in its keys.
void enter(MemFile* f, std::vector<uint8_t>& ents, const KeyFlags& use, const KeyFlags& last,
           const MemRec& r) {
  size_t at = 0;
  for (size_t i = 0; i < f->keys.size(); ++i) {
    uint8_t* e = ents.data() + at;
    at += f->keys[i].ew;
    set_payload(f->keys[i], e, r.data, r.len);
    if (!use[i]) continue;
    if (last[i]) f->keys[i].tree->append(e);
    else f->keys[i].tree->insert(e);
  }
}

// A copy of the len bytes at src as the file's last record: its bytes, or
// null, nothing changed, when there is no memory for them.
uint8_t* add_last(MemFile* f, const uint8_t* src, uint32_t len) {
  uint32_t cap = 0;
  uint8_t* data = f->slab.alloc(len, &cap);
  if (!data) return nullptr;
  std::memcpy(data, src, len);
  MemRec& r = f->recs.emplace_back();
  r.data = data;
  r.len = len;
  r.cap = cap;
  r.flags = kLive;
  ++f->live;
  return data;
}

// Stores a new record whose entries were admitted (by reference: the
// caller's bytes, with a shadow of its normalised keys) and enters it in its
// keys as record rid. 1; 0 when there is no memory for it.
int store_new(FmArb* a, MemFile* f, const uint8_t* src, uint32_t len, bool byref, std::vector<uint8_t>& ents,
              const KeyFlags& use, const KeyFlags& last, uint32_t rid) {
  // (The fields are set where the record is kept: a record made aside and
  // copied in at once would wait for the stores that made it.)
  uint8_t* data;
  uint8_t* shadow = nullptr;
  uint32_t cap = 0;
  if (byref) {
    data = const_cast<uint8_t*>(src);
  } else {
    data = f->slab.alloc(len, &cap);
    if (!data) return fmi::bad(a, "no memory for a record of %s", fmi::ident_text(f->fdb).c_str());
    std::memcpy(data, src, len);
  }
  if (byref && !f->keys.empty()) {
    // The shadow keeps the normalised keys the entries already hold.
    shadow = f->slab.alloc(f->shadow_len, &cap);
    if (!shadow) return fmi::bad(a, "no memory for a record of %s", fmi::ident_text(f->fdb).c_str());
    size_t from = 0, to = 0;
    for (auto& k : f->keys) {
      std::memcpy(shadow + to, ents.data() + from, k.klen);
      from += k.ew;
      to += k.klen;
    }
  }
  MemRec& r = f->recs.emplace_back();
  r.data = data;
  r.len = len;
  r.cap = cap;
  r.flags = byref ? kLive | kByRef : kLive;
  r.shadow = shadow;
  enter(f, ents, use, last, r);
  ++f->live;
  a->rid = rid;
  a->rid_len = 4;
  return 1;
}

int m_write(FmArb* req, FmArb* a) {
  (void)req;
  Cur* c = cur(a);
  MemFile* f = c->f;
  int len = a->rec_len ? int(a->rec_len) : int(f->fdb.rec_len);
  if (!f->fdb.var) len = f->fdb.rec_len;
  const uint8_t* src = a->rec.get();
  bool byref = a->op & FM_OP_FAST;
  uint32_t rid = f->last_rid() + 1;
  static thread_local std::vector<uint8_t> ents;
  static thread_local KeyFlags use, last;
  static thread_local std::vector<uint8_t> tmp;
  const uint8_t* keysrc = src;
  size_t given = a->rec_len ? a->rec_len : f->fdb.rec_len;
  if (!byref && given < size_t(len)) {
    tmp.assign(len, 0);
    std::memcpy(tmp.data(), src, given);
    keysrc = tmp.data();
  }
  static thread_local std::vector<uint8_t> pad;
  const uint8_t* keys = key_source(f, keysrc, size_t(len), pad);
  if (!f->keys.empty()) {
    entries_of(f, keys, rid, &ents, &use);
    if (!admit(a, f, ents, use, rid, &last)) return 0;
  }
  return store_new(a, f, byref ? src : keysrc, uint32_t(len), byref, ents, use, last, rid);
}

int m_rewrite(FmArb* req, FmArb* a) {
  (void)req;
  Cur* c = cur(a);
  MemFile* f = c->f;
  uint32_t rid = c->held;
  // Not after a read whose hold was refused.
  if (rid != c->hold_target) return fmi::fail(a, FM_ST_NOT_HELD);
  MemRec* r = rid ? live_rec(f, rid) : nullptr;
  if (!r) {
    c->held = 0;
    return fmi::fail(a, FM_ST_NOT_HELD);
  }
  int len = a->rec_len ? int(a->rec_len) : int(f->fdb.rec_len);
  if (!f->fdb.var) len = f->fdb.rec_len;
  const uint8_t* src = a->rec.get();
  size_t given = a->rec_len ? a->rec_len : f->fdb.rec_len;
  std::vector<uint8_t> tmp;
  if (given < size_t(len)) {
    tmp.assign(len, 0);
    std::memcpy(tmp.data(), src, given);
    src = tmp.data();
  }
  std::vector<uint8_t> olds, news;
  KeyFlags ouse, nuse;
  if (!f->keys.empty()) {
    size_t total = 0;
    for (auto& k : f->keys) total += k.ew;
    olds.resize(total);
    ouse.fill(f->keys.size(), true);
    size_t at = 0;
    for (size_t i = 0; i < f->keys.size(); ++i) {
      stored_entry(f, int(i), rid, olds.data() + at);
      ouse[i] = stored_indexed(f, int(i), rid);
      at += f->keys[i].ew;
    }
    // (A record kept by reference keeps its length.)
    size_t stays = (r->flags & kByRef) ? std::min<size_t>(len, r->len) : size_t(len);
    std::vector<uint8_t> pad;
    entries_of(f, key_source(f, src, stays, pad), rid, &news, &nuse);
    if (!check_unique(a, f, news, nuse, rid)) return 0;
  }
  // Store the record.
  if (r->flags & kByRef) {
    if (r->data != src) std::memmove(r->data, src, std::min<size_t>(len, r->len));
    r->len = uint32_t(std::min<size_t>(len, r->len));
  } else if (uint32_t(len) <= r->cap) {
    std::memmove(r->data, src, len);
    r->len = uint32_t(len);
  } else {
    uint32_t cap;
    uint8_t* p = f->slab.alloc(len, &cap);
    if (!p) return fmi::bad(a, "no memory for a record of %s", fmi::ident_text(f->fdb).c_str());
    std::memcpy(p, src, len);
    f->slab.release(r->data, r->cap);
    r->data = p;
    r->cap = cap;
    r->len = uint32_t(len);
  }
  size_t at = 0;
  for (size_t i = 0; i < f->keys.size(); ++i) {
    MemKey& k = f->keys[i];
    const uint8_t* o = olds.data() + at;
    uint8_t* n = news.data() + at;
    at += k.ew;
    set_payload(k, n, r->data, r->len);
    if (ouse[i] && nuse[i] && std::memcmp(o, n, k.klen) == 0) {
      k.tree->update(n);  // same key: the record may have moved or changed length
      continue;
    }
    if (ouse[i]) k.tree->erase(o);
    if (nuse[i]) k.tree->insert(n);
  }
  if ((r->flags & kByRef) && !f->keys.empty()) {
    std::vector<uint8_t> pad;
    make_shadow(f, *r, key_source(f, src, r->len, pad));
  }
  unhold(c);
  a->rid = rid;
  a->rid_len = 4;
  return 1;
}

void remove_rec(MemFile* f, uint32_t rid) {
  MemRec& r = f->rec(rid);
  uint8_t e[FM_MAX_KEY_LEN + 12];
  for (size_t i = 0; i < f->keys.size(); ++i) {
    stored_entry(f, int(i), rid, e);
    f->keys[i].tree->erase(e);
  }
  free_rec(f, r);
  f->holds.erase(rid);
  for (Cur* c : f->curs)
    if (c->held == rid) c->held = 0;
  --f->live;
  f->trim();
}

int m_del(FmArb* req, FmArb* a) {
  (void)req;
  Cur* c = cur(a);
  MemFile* f = c->f;
  uint32_t rid = c->held;
  if (rid != c->hold_target) return fmi::fail(a, FM_ST_NOT_HELD);
  if (!rid || !live_rec(f, rid)) {
    c->held = 0;
    return fmi::fail(a, FM_ST_NOT_HELD);
  }
  remove_rec(f, rid);
  return 1;
}

int m_del_all(FmArb* req, FmArb* a) {
  (void)req;
  Cur* c = cur(a);
  MemFile* f = c->f;
  for (size_t i = 0; i < f->recs.size(); ++i)
    if (f->recs[i].flags & kLive) free_rec(f, f->recs[i]);
  f->live = 0;
  f->trim();
  for (auto& k : f->keys) k.tree->clear();
  f->holds.clear();
  for (Cur* o : f->curs) {
    o->held = 0;
    o->st = BEFORE;
  }
  return 1;
}

int m_release(FmArb* req, FmArb* a) {
  (void)req;
  if (Cur* c = cur(a)) unhold(c);
  return 1;
}

uint8_t* m_fast(FmArb* a) {
  Cur* c = cur(a);
  if (!c || !c->f || c->st != AT) return nullptr;
  MemRec* r = live_rec(c->f, c->rid);
  return r ? r->data : nullptr;  // (not c->data: the record may have gone since)
}

}  // namespace

namespace fmi {

const FmHandlers mem_handlers = {
    FM_BE_MEMORY, nullptr, m_alloc_id, m_attach, m_create, m_close, nullptr, m_del, m_detach, nullptr,
    nullptr, m_free_id, m_locate, m_nam, m_open, m_rdnxt, m_read, m_release, nullptr, m_rename, m_rewrite,
    m_scratch, m_start, m_write, m_del_all, m_fast, nullptr,
};

bool is_mem(const FmArb* a) { return fm_handlers(a->file->fns) == &mem_handlers; }

void* mem_bound_file(const FmArb* a) {
  Cur* c = cur(a);
  return c ? c->f : nullptr;
}

int mem_reset(FmArb* a) {
  Cur* c = cur(a);
  MemFile* f = c ? c->f : nullptr;
  if (!f) return fmi::fail(a, FM_ST_NO_STREAM);
  if (f->curs.size() != 1) return fmi::fail(a, FM_ST_SCRATCH_OPEN);
  f->recs.clear();
  if (f->recs.capacity() > 4096) f->recs.shrink_to_fit();
  f->base = 0;
  f->live = 0;
  for (auto& k : f->keys) k.tree->clear();
  f->holds.clear();
  f->slab.reset();
  // The cursor as a new one, its key buffer's room kept for the next use.
  std::vector<uint8_t> pos = std::move(c->pos);
  pos.clear();
  *c = Cur{};
  c->pos = std::move(pos);
  c->arb = a;
  c->f = f;
  return 1;
}

int64_t mem_records(const FmArb* a) {
  Cur* c = cur(a);
  return c && c->f ? int64_t(c->f->live) : -1;
}

int mem_write_all(FmArb* a, const uint8_t* recs, uint32_t count) {
  Cur* c = cur(a);
  MemFile* f = c ? c->f : nullptr;
  if (!f) {
    fmi::fail(a, FM_ST_NO_STREAM);
    return 0;
  }
  const uint32_t len = f->fdb.rec_len;
  const size_t nkeys = f->keys.size();
  const bool byref = a->op & FM_OP_FAST;
  std::vector<uint8_t> ents, pad;
  KeyFlags use, last;
  if (f->recs.capacity() < f->recs.size() + count)
    f->recs.reserve(std::max(f->recs.size() + count, 2 * f->recs.capacity()));
  uint32_t n = 0;
  // A file of one key written in its order (a check's statements): each
  // record's entry is made where the loop keeps it and goes after the
  // greatest, as the steps below would do it. The first record that goes
  // elsewhere, duplicates a key or finds no room takes the steps below.
  if (nkeys == 1 && !byref && len >= f->key_end && !f->keys[0].plan.empty()) {
    MemKey& k = f->keys[0];
    uint8_t e[FM_MAX_KEY_LEN + 12];
    for (; n < count; ++n) {
      const uint8_t* src = recs + size_t(n) * len;
      const uint32_t rid = f->last_rid() + 1;
      entry(k, src, rid, e);
      bool dup = false;
      if (!goes_last(k, e, &dup) || dup) break;
      uint8_t* data = add_last(f, src, len);
      if (!data) break;
      set_payload(k, e, data, len);
      k.tree->append(e);
      a->rid = rid;
      a->rid_len = 4;
    }
  }
  for (; n < count; ++n) {
    const uint8_t* src = recs + size_t(n) * len;
    uint32_t rid = f->last_rid() + 1;
    if (nkeys) {
      entries_of(f, key_source(f, src, len, pad), rid, &ents, &use);
      if (!admit(a, f, ents, use, rid, &last)) return int(n);
    }
    if (!store_new(a, f, src, len, byref, ents, use, last, rid)) return int(n);
  }
  return int(n);
}

// The write of one record to the end of a keyless memory file: what
// m_write does for it, without its key steps (see fm_mem_append). False,
// nothing changed, for a file it does not take and when there is no memory
// for the record (the plain write then says so).
bool mem_append(FmArb* a, const uint8_t* src, uint32_t len) {
  Cur* c = cur(a);
  MemFile* f = c ? c->f : nullptr;
  if (!f || !f->keys.empty() || !f->fdb.var || len == 0 || len > f->fdb.rec_len || !add_last(f, src, len)) return false;
  a->rid = f->last_rid();
  a->rid_len = 4;
  return true;
}

uint8_t* mem_rdnxt_fast(FmArb* a) {
  if (!m_rdnxt(a, a)) return nullptr;
  Cur* c = cur(a);
  return const_cast<uint8_t*>(c->data);
}

int mem_scratch_bound(void* file, FmFdb* fdb) {
  auto* f = static_cast<MemFile*>(file);
  if (!f->curs.empty()) return fmi::fail(fdb, FM_ST_SCRATCH_OPEN);
  destroy_file(f);
  return 1;
}

void mem_release_scope(int depth) {
  std::vector<MemFile*> doomed;
  auto& bs = M().by_scope;
  for (size_t sc = size_t(std::max(depth, 0)); sc < bs.size(); ++sc)
    doomed.insert(doomed.end(), bs[sc].begin(), bs[sc].end());
  for (MemFile* f : doomed) {
    std::vector<FmArb*> hs;
    for (Cur* c : f->curs) hs.push_back(c->arb);
    for (FmArb* a : hs) close_for_destroy(a);
    destroy_file(f);
  }
}

void mem_shutdown() { mem_release_scope(0); }
size_t mem_count() { return M().count; }

void mem_temp_files(int depth, void (*fn)(const FmFdb&, void*), void* ctx) {
  std::vector<MemFile*> list;
  auto& bs = M().by_scope;
  for (size_t sc = size_t(std::max(depth, 0)); sc < bs.size(); ++sc)
    for (MemFile* f : bs[sc])
      if (f->fdb.kind == FM_KIND_TEMP) list.push_back(f);
  std::sort(list.begin(), list.end(), [](MemFile* a, MemFile* b) {
    return a->ident != b->ident ? a->ident < b->ident : a->scope < b->scope;
  });
  for (MemFile* f : list) {
    FmFdb d = f->fdb;
    d.kdb.set(f->kdb);
    d.handle.reset();
    fn(d, ctx);
  }
}

}  // namespace fmi

bool fm_mem_append(FmArb* a, const void* rec, uint16_t len) {
  if (!a || !fm_live(a) || !fmi::is_mem(a) || a->state != FM_HS_OPEN) return false;
  const FmFile* file = a->file.get();
  const FmEventProcs* ev = fm_event_procs();
  if (file->evt && ev && (ev->pre_upd || ev->post_upd)) return false;
  if (file->fdb.access != 0 && !(file->fdb.access & 2)) return false;
  if (!fmi::mem_append(a, static_cast<const uint8_t*>(rec), len)) return false;
  a->status = 0;
  a->key_no = 0;
  a->op = 0;
  a->rec_len = 0;
  return true;
}

// ==================================================== sequential files ==
namespace {

struct SeqHead {
  rec::Text<8> magic;
  rec::U32 rec_len;
  rec::U8 var;
  rec::Bytes<3> spare;
  rec::U32 stamp[2];
  rec::Bytes<8> spare2;
};
QV_RECORD(SeqHead, 32);

struct SeqOpen {
  int fd = -1;
  std::string path;
  int refs = 0;
  std::vector<uint64_t> offs;  // offset of record i+1 (its length word)
  uint64_t scanned = 32;       // offsets known up to here
  // Read window: bytes of the file from win_off, read ahead in one call so
  // that reading records in order costs one system call per window, not two
  // per record. Dropped by every write of this open.
  std::vector<uint8_t> win;
  uint64_t win_off = 0;
};

constexpr size_t kSeqWindow = 64 * 1024;

// Reads len bytes at off through the open's read window; the bytes read.
ssize_t seq_pread(SeqOpen* o, void* dst, size_t len, uint64_t off) {
  if (off >= o->win_off && off + len <= o->win_off + o->win.size()) {
    std::memcpy(dst, o->win.data() + (off - o->win_off), len);
    return ssize_t(len);
  }
  if (len > kSeqWindow / 2) return pread(o->fd, dst, len, off_t(off));
  o->win.resize(kSeqWindow);
  ssize_t got = pread(o->fd, o->win.data(), kSeqWindow, off_t(off));
  o->win.resize(got > 0 ? size_t(got) : 0);
  o->win_off = off;
  if (got < 0) return got;
  size_t n = std::min(len, size_t(got));
  std::memcpy(dst, o->win.data(), n);
  return ssize_t(n);
}
void seq_drop_window(SeqOpen* o) { o->win.clear(); }

struct SeqCur {
  std::shared_ptr<SeqOpen> o;
  uint32_t cur = 0;   // current record (0 before the first)
  uint32_t held = 0;
  std::vector<uint8_t> buf;
};

struct Seq {
  std::vector<SeqCur*> curs{nullptr};
  std::vector<uint32_t> free_ids;
  std::unordered_map<std::string, int> open_paths;
};
Seq& Q() {
  static Seq q;
  return q;
}
SeqCur* scur(const FmArb* a) {
  uint32_t id = a->be_id;
  return id && id < Q().curs.size() ? Q().curs[id] : nullptr;
}

int sys_fail(FmArb* a, const char* what, const std::string& path) {
  a->os_err = errno;
  return fmi::bad(a, "%s %s: %s", what, path.c_str(), std::strerror(errno));
}

// Learns the offsets of the records up to the file's end.
void scan(SeqOpen* o) {
  struct stat st;
  if (fstat(o->fd, &st) != 0) return;
  uint64_t end = uint64_t(st.st_size);
  while (o->scanned + 4 <= end) {
    uint8_t lb[4];
    if (seq_pread(o, lb, 4, o->scanned) != 4) break;
    uint32_t len = rec::view<rec::U32>(lb);
    if (o->scanned + 4 + len > end) break;
    o->offs.push_back(o->scanned);
    o->scanned += 4 + len;
  }
}

int s_alloc_id(FmArb* a) {
  Seq& q = Q();
  auto* c = new SeqCur;
  uint32_t id;
  if (!q.free_ids.empty()) {
    id = q.free_ids.back();
    q.free_ids.pop_back();
    q.curs[id] = c;
  } else {
    id = uint32_t(q.curs.size());
    q.curs.push_back(c);
  }
  a->be_id = id;
  return 1;
}

void s_free_id(FmArb* a) {
  SeqCur* c = scur(a);
  if (!c) return;
  if (c->o && --c->o->refs == 0) {
    if (c->o->fd >= 0) close(c->o->fd);
    auto it = Q().open_paths.find(c->o->path);
    if (it != Q().open_paths.end() && --it->second == 0) Q().open_paths.erase(it);
  }
  Q().curs[a->be_id] = nullptr;
  Q().free_ids.push_back(a->be_id);
  a->be_id = 0;
  delete c;
}

int open_path(FmArb* a, bool create) {
  FmFdb& d = a->file->fdb;
  std::string path;
  if (!fm_os_path(&d, &path)) {
    a->status = d.status;
    return 0;
  }
  int fd;
  if (create) {
    if (!fmi::make_dirs(path)) return sys_fail(a, "cannot make the directory of", path);
    fd = uio_create(path.c_str());
    if (fd < 0 && errno == EEXIST) {
      if (!(d.options & FM_OPT_CREATE)) return fmi::fail(a, FM_ST_EXISTS);
      create = false;
    }
  }
  if (!create) {
    bool ro = d.access != 0 && !(d.access & 14);
    fd = uio_open(path.c_str(), ro ? O_RDONLY : O_RDWR);
    if (fd < 0 && errno == ENOENT) return fmi::fail(a, FM_ST_NOT_FOUND);
  }
  if (fd < 0) return sys_fail(a, "cannot open", path);
  SeqHead h;
  if (create) {
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    h.magic.set("QVSEQ001");
    h.rec_len = d.rec_len;
    h.var = d.var;
    h.stamp[0] = d.stamp[0];
    h.stamp[1] = d.stamp[1];
    if (pwrite(fd, &h, sizeof h, 0) != ssize_t(sizeof h)) {
      int e = errno;
      close(fd);
      uio_unlink(path.c_str());
      errno = e;
      return sys_fail(a, "cannot write", path);
    }
  } else {
    if (pread(fd, &h, sizeof h, 0) != ssize_t(sizeof h) || !(h.magic == "QVSEQ001")) {
      close(fd);
      return fmi::bad(a, "%s is not a sequential file", path.c_str());
    }
    FmFdb have = d;
    have.stamp[0] = h.stamp[0];
    have.stamp[1] = h.stamp[1];
    bool check = !(d.options & FM_OPT_NO_STRUCT) && !(d.stamp[0] == 0xFFFFFFFFu && d.stamp[1] == 0xFFFFFFFFu) &&
                 !(h.stamp[0] == 0xFFFFFFFFu && h.stamp[1] == 0xFFFFFFFFu);
    if (check && (d.stamp[0] != h.stamp[0] || d.stamp[1] != h.stamp[1])) {
      close(fd);
      return fmi::fail(a, FM_ST_STRUCT);
    }
    d.rec_len = uint16_t(h.rec_len);
    d.var = h.var;
    d.stamp[0] = h.stamp[0];
    d.stamp[1] = h.stamp[1];
  }
  d.key_count = 0;
  d.org = d.org == FM_ORG_SINGLE ? FM_ORG_SINGLE : FM_ORG_PLAIN;
  SeqCur* c = scur(a);
  c->o = std::make_shared<SeqOpen>();
  c->o->fd = fd;
  c->o->path = path;
  c->o->refs = 1;
  Q().open_paths[path]++;
  return 1;
}

int s_create(FmArb* a) { return open_path(a, true); }
int s_open(FmArb* a) { return open_path(a, false); }

int s_attach(FmArb*, FmArb* s) {
  SeqCur* p = scur(s->parent.get());
  if (!p || !p->o) return fmi::fail(s, FM_ST_NO_STREAM);
  SeqCur* c = scur(s);
  c->o = p->o;
  c->o->refs++;
  return 1;
}

int s_close(FmArb* a, FmArb*) {
  if (SeqCur* c = scur(a)) c->held = 0;
  return 1;
}

int s_locate(FmFdb* fdb) {
  std::string path;
  if (!fm_os_path(fdb, &path)) return 0;
  struct stat st;
  return uio_lstat(path.c_str(), &st) == 0 ? 1 : fmi::fail(fdb, FM_ST_NOT_FOUND);
}

// Whether the file at path is a sequential file (by its header): only such
// a file is removed or renamed as one. ENOENT when there is none.
int seq_file_at(const std::string& path) {
  int fd = uio_open(path.c_str(), O_RDONLY);
  if (fd < 0) return errno;
  SeqHead h;
  bool yes = pread(fd, &h, sizeof h, 0) == ssize_t(sizeof h) && h.magic == "QVSEQ001";
  uio_close(fd);
  return yes ? 0 : EINVAL;
}

}  // namespace

long fms_seq_records(const std::string& path) {
  SeqOpen o;
  o.fd = uio_open(path.c_str(), O_RDONLY);
  if (o.fd < 0) return -1;
  SeqHead h;
  long n = -1;
  if (pread(o.fd, &h, sizeof h, 0) == ssize_t(sizeof h) && h.magic == "QVSEQ001") {
    scan(&o);
    n = long(o.offs.size());
  }
  uio_close(o.fd);
  return n;
}

namespace {

int s_scratch(FmFdb* fdb) {
  std::string path;
  if (!fm_os_path(fdb, &path)) return 0;
  if (Q().open_paths.count(path)) return fmi::fail(fdb, FM_ST_SCRATCH_OPEN);
  if (int e = seq_file_at(path)) {
    if (e == ENOENT) return fmi::fail(fdb, FM_ST_NOT_FOUND);
    return fmi::bad(fdb, "%s is not a sequential file: not removed", path.c_str());
  }
  if (int e = uio_unlink(path.c_str())) {
    if (e == ENOENT) return fmi::fail(fdb, FM_ST_NOT_FOUND);
    fdb->os_err = e;
    return fmi::bad(fdb, "cannot remove %s: %s", path.c_str(), std::strerror(e));
  }
  return 1;
}

int s_rename(FmFdb* from, FmFdb* to) {
  std::string pf, pt;
  if (!fm_os_path(from, &pf)) {
    to->status = from->status;
    return 0;
  }
  if (!fm_os_path(to, &pt)) return 0;
  if (Q().open_paths.count(pf)) return fmi::fail(to, FM_ST_SCRATCH_OPEN);
  if (int e = seq_file_at(pf)) {
    if (e == ENOENT) return fmi::fail(to, FM_ST_NOT_FOUND);
    return fmi::bad(to, "%s is not a sequential file: not renamed", pf.c_str());
  }
  if (!fmi::make_dirs(pt)) return fmi::fail(to, FM_ST_NO_RENAME);
  if (int e = uio_rename(pf.c_str(), pt.c_str())) {
    if (e == ENOENT) return fmi::fail(to, FM_ST_NOT_FOUND);
    to->os_err = e;
    return fmi::fail(to, FM_ST_NO_RENAME);
  }
  return 1;
}

int s_nam(FmArb* a, FmName* out) {
  SeqCur* c = scur(a);
  if (!c || !c->o) return 0;
  if (out) *out = FmName{c->o->path.c_str(), c->o->path.size()};
  return 1;
}

// Reads record n (1-based) and delivers it.
int read_at(FmArb* a, SeqCur* c, uint32_t n) {
  SeqOpen* o = c->o.get();
  if (n == 0) return fmi::fail(a, FM_ST_NO_RECORD);
  if (n > o->offs.size()) scan(o);
  if (n > o->offs.size()) return 0;  // caller sets the status
  uint64_t off = o->offs[n - 1];
  uint8_t lb[4];
  if (seq_pread(o, lb, 4, off) != 4) return sys_fail(a, "cannot read", o->path);
  uint32_t len = rec::view<rec::U32>(lb);
  c->buf.resize(len + 1);
  if (len && seq_pread(o, c->buf.data(), len, off + 4) != ssize_t(len)) return sys_fail(a, "cannot read", o->path);
  c->cur = n;
  a->rid = n;
  a->rid_len = 4;
  if (a->op & FM_OP_HOLD) c->held = n;
  return fmi::deliver(a, c->buf.data(), len) ? 1 : 0;
}

int s_read(FmArb*, FmArb* a) {
  SeqCur* c = scur(a);
  uint32_t n = a->rid;
  if (a->op & FM_OP_FIRST) n = 1;
  else if (a->file->fdb.org == FM_ORG_SINGLE && !(a->op & FM_OP_RID)) n = 1;
  a->status = 0;
  int rc = read_at(a, c, n);
  if (!rc && !a->status) return fmi::fail(a, FM_ST_NO_RECORD);
  return rc;
}

int s_rdnxt(FmArb*, FmArb* a) {
  SeqCur* c = scur(a);
  a->status = 0;
  int rc = read_at(a, c, c->cur + 1);
  if (!rc && !a->status) {
    c->cur = uint32_t(c->o->offs.size());
    return fmi::fail(a, FM_ST_EOF);
  }
  return rc;
}

int s_start(FmArb*, FmArb* a) {
  SeqCur* c = scur(a);
  c->cur = (a->op & FM_OP_RID) && a->rid ? a->rid - 1 : 0;
  return 1;
}

int s_write(FmArb*, FmArb* a) {
  SeqCur* c = scur(a);
  SeqOpen* o = c->o.get();
  const FmFdb& d = a->file->fdb;
  uint32_t len = a->rec_len ? a->rec_len : d.rec_len;
  if (!d.var) len = d.rec_len;
  size_t given = a->rec_len ? a->rec_len : d.rec_len;
  struct stat st;
  if (fstat(o->fd, &st) != 0) return sys_fail(a, "cannot write", o->path);
  scan(o);
  seq_drop_window(o);
  uint64_t off = uint64_t(st.st_size);
  if (off != o->scanned) {
    // A torn record at the end (a crash mid-write): cut it off.
    if (ftruncate(o->fd, off_t(o->scanned)) != 0) return sys_fail(a, "cannot write", o->path);
    off = o->scanned;
  }
  std::vector<uint8_t> out(4 + len, 0);
  rec::view<rec::U32>(out.data()).set(len);
  std::memcpy(out.data() + 4, a->rec.get(), std::min<size_t>(given, len));
  if (pwrite(o->fd, out.data(), out.size(), off_t(off)) != ssize_t(out.size())) return sys_fail(a, "cannot write", o->path);
  o->offs.push_back(off);
  o->scanned = off + out.size();
  a->rid = uint32_t(o->offs.size());
  a->rid_len = 4;
  return 1;
}

int s_rewrite(FmArb*, FmArb* a) {
  SeqCur* c = scur(a);
  SeqOpen* o = c->o.get();
  if (!c->held || c->held > o->offs.size()) return fmi::fail(a, FM_ST_NOT_HELD);
  seq_drop_window(o);
  uint64_t off = o->offs[c->held - 1];
  uint8_t lb[4];
  if (pread(o->fd, lb, 4, off_t(off)) != 4) return sys_fail(a, "cannot read", o->path);
  uint32_t have = rec::view<rec::U32>(lb);
  uint32_t len = a->rec_len ? a->rec_len : a->file->fdb.rec_len;
  if (!a->file->fdb.var) len = a->file->fdb.rec_len;
  if (len != have) return fmi::bad(a, "a record of the sequential file %s keeps its length (%u, not %u)",
                                   o->path.c_str(), have, len);
  if (pwrite(o->fd, a->rec.get(), len, off_t(off + 4)) != ssize_t(len)) return sys_fail(a, "cannot write", o->path);
  a->rid = c->held;
  c->held = 0;
  return 1;
}

int s_del(FmArb*, FmArb* a) {
  return fmi::bad(a, "a single record of the sequential file %s cannot be deleted",
                  fmi::ident_text(a->file->fdb).c_str());
}

int s_del_all(FmArb*, FmArb* a) {
  SeqCur* c = scur(a);
  SeqOpen* o = c->o.get();
  seq_drop_window(o);
  if (ftruncate(o->fd, 32) != 0) return sys_fail(a, "cannot truncate", o->path);
  o->offs.clear();
  o->scanned = 32;
  c->cur = 0;
  c->held = 0;
  return 1;
}

int s_release(FmArb*, FmArb* a) {
  if (SeqCur* c = scur(a)) c->held = 0;
  return 1;
}

}  // namespace

namespace fmi {
const FmHandlers seq_handlers = {
    FM_BE_SEQ, nullptr, s_alloc_id, s_attach, s_create, s_close, nullptr, s_del, s_close, nullptr,
    nullptr, s_free_id, s_locate, s_nam, s_open, s_rdnxt, s_read, s_release, nullptr, s_rename, s_rewrite,
    s_scratch, s_start, s_write, s_del_all, nullptr, nullptr,
};
}  // namespace fmi
