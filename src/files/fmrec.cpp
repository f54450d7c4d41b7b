// The file manager's record operations and streams.
//
// Each operation checks the handle (a closed or unknown handle: 200480), the
// key number and key length, the record length and the handle's access
// mode, then calls the back end's slot. What streams add is done here for
// every back end alike:
//   - a key range (control block type 1) on the key being read: a start
//     before the low bound starts at the low bound; a record beyond the high
//     bound ends the stream (200360); a read by key outside the range finds
//     nothing (200450);
//   - key constraints (type 4): records whose constrained fields differ are
//     skipped by read-next and not found by read;
//   - a query (type 2, or a type 3 block turned into the file manager's type
//     2 copy) goes to the query engine's attach hook.
// A record the stream rejects after a read that held it is released again.
// Both judge the record's first len_read bytes, zeros past them (a short
// record's keys and fields as the file keeps them).
#include <algorithm>
#include <cstring>
#include <vector>

#include "files/fmint.h"
#include "foundation/bi.h"

FmArb* fm_new_stream(FmArb* parent, int scope);
void fm_drop_stream(FmArb* s);
FmQueryAttach fm_query_attach_hook();

namespace fmi {

// ---------------------------------------------------------- key forms --
static inline void norm_seg(const FmSdb& s, const uint8_t* src, size_t n, uint8_t* out, bool whole) {
  bool desc = s.order == '-';
  if (s.type == FM_SEG_BINARY && whole) {
    // Most binary segments are a byte or a word: those without a loop.
    if (n == 1) {
      out[0] = src[0];
    } else if (n == 4) {
      uint32_t w;
      std::memcpy(&w, src, 4);
      w = __builtin_bswap32(w);
      std::memcpy(out, &w, 4);
    } else {
      for (size_t i = 0; i < n; ++i) out[i] = src[n - 1 - i];
    }
  } else {
    std::memcpy(out, src, n);
  }
  if (desc)
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(~out[i]);
}

void norm_rec_key(const FmKdb& k, const uint8_t* rec, uint8_t* out) {
  const FmSdb* s = segs(k);
  for (int i = 0; i < k.seg_count; ++i) {
    size_t n = s[i].length;
    norm_seg(s[i], rec + s[i].offset, n, out, true);
    out += n;
  }
}

size_t norm_key(const FmKdb& k, const uint8_t* key, size_t len, uint8_t* out) {
  const FmSdb* s = segs(k);
  size_t done = 0;
  for (int i = 0; i < k.seg_count && done < len; ++i) {
    size_t n = s[i].length;
    bool whole = done + n <= len;
    if (!whole) n = len - done;
    norm_seg(s[i], key + done, n, out + done, whole);
    done += n;
  }
  return done;
}

void rec_key(const FmKdb& k, const uint8_t* rec, uint8_t* out) {
  const FmSdb* s = segs(k);
  for (int i = 0; i < k.seg_count; ++i) {
    std::memcpy(out, rec + s[i].offset, s[i].length);
    out += s[i].length;
  }
}

bool key_is_null(const FmKdb& k, const uint8_t* rec) {
  const FmSdb* s = segs(k);
  for (int i = 0; i < k.seg_count; ++i) {
    const uint8_t* p = rec + s[i].offset;
    uint8_t want = s[i].type == FM_SEG_BINARY ? 0 : ' ';
    for (size_t j = 0; j < s[i].length; ++j)
      if (p[j] != want) return false;
  }
  return true;
}

std::string check_keys(const FmKdb* kdb, int count, int rec_len) {
  char b[160];
  if (count > int(FM_MAX_KEYS)) return "more than 17 keys";
  for (int k = 0; k < count; ++k) {
    const FmKdb& d = kdb[k];
    if (d.seg_count == 0 || !d.segs) {
      std::snprintf(b, sizeof b, "key %d has no segments", k);
      return b;
    }
    if (!arena::contains(d.segs.get())) {
      std::snprintf(b, sizeof b, "segments of key %d are not engine memory", k);
      return b;
    }
    size_t sum = 0;
    const FmSdb* s = d.segs.get();
    for (int i = 0; i < d.seg_count; ++i) {
      if (s[i].length == 0 || int(s[i].offset) + int(s[i].length) > rec_len) {
        std::snprintf(b, sizeof b, "segment %d of key %d (%d+%d) outside the record of %d bytes", i, k,
                      int(s[i].offset), int(s[i].length), rec_len);
        return b;
      }
      if (s[i].type != FM_SEG_ALPHA && s[i].type != FM_SEG_BINARY) {
        std::snprintf(b, sizeof b, "segment %d of key %d has type %d", i, k, int(s[i].type));
        return b;
      }
      if (s[i].type == FM_SEG_BINARY && s[i].length > 8) {
        std::snprintf(b, sizeof b, "binary segment %d of key %d is %d bytes long (at most 8)", i, k,
                      int(s[i].length));
        return b;
      }
      sum += s[i].length;
    }
    if (sum > FM_MAX_KEY_LEN) {
      std::snprintf(b, sizeof b, "key %d is %zu bytes long (at most %zu)", k, sum, FM_MAX_KEY_LEN);
      return b;
    }
    if (d.key_len != sum) {
      std::snprintf(b, sizeof b, "key %d: length %d, its segments %zu", k, int(d.key_len), sum);
      return b;
    }
  }
  return "";
}

const FmKdb* file_key(const FmFile* f, int key_no) {
  if (key_no < 0 || key_no >= f->fdb.key_count || !f->kdb) return nullptr;
  return f->kdb.get() + key_no;
}

int write_len(FmArb* a) {
  const FmFile* f = a->file.get();
  int max = f->fdb.rec_len;
  int len = a->rec_len ? int(a->rec_len) : max;
  if (len > max) {
    bad(a, "record of %d bytes for %s of %d-byte records", len, ident_text(f->fdb).c_str(), max);
    return -1;
  }
  return len;
}

int deliver(FmArb* a, const uint8_t* data, size_t len) {
  a->len_read = uint16_t(len);
  uint8_t* buf = a->rec.get();
  if (!buf) return bad(a, "no record buffer");
  size_t cap = a->rec_len ? size_t(a->rec_len) : size_t(a->file->fdb.rec_len);
  size_t n = std::min(len, cap);
  if (buf != data) std::memmove(buf, data, n);
  if (len > cap) return fail(a, FM_ST_TOO_LONG);
  return 1;
}

}  // namespace fmi

using namespace fmi;

namespace {

const FmHandlers* T(const FmArb* a) { return fm_handlers(a->fns); }

int check(FmArb* a) {
  if (!a) return 0;
  if (!fm_live(a)) {
    if (arena::contains(a)) a->status = FM_ST_NO_STREAM;
    return 0;
  }
  return 1;
}

int missing(FmArb* a, const char* op) { return bad(a, "%s is not offered for %s", op, ident_text(a->file->fdb).c_str()); }

// Access mode of the file: 0 allows everything.
int allowed(FmArb* a, int bit, const char* what) {
  int acc = a->file->fdb.access;
  if (acc == 0 || (acc & bit)) return 1;
  return bad(a, "%s not allowed: %s was opened with access %d", what, ident_text(a->file->fdb).c_str(), acc);
}

// Checks the key number and, when the key is given, its length.
int check_key(FmArb* a, bool key_given) {
  const FmFile* f = a->file.get();
  if (f->fdb.key_count == 0) return 1;
  const FmKdb* k = file_key(f, a->key_no);
  if (!k) return bad(a, "key number %d is not a key of %s", int(a->key_no), ident_text(f->fdb).c_str());
  if (key_given) {
    if (a->key_len > k->key_len)
      return bad(a, "key of %d bytes for key %d of %s (%d bytes)", int(a->key_len), int(a->key_no),
                 ident_text(f->fdb).c_str(), int(k->key_len));
    if (a->key_len && !a->key) return bad(a, "no key given");
  }
  return 1;
}

// The stream's control blocks of a type, null when none.
const FmScb* scb_of(const FmArb* a, uint32_t type) {
  for (const FmScb* s = a->scb.get(); s; s = s->next.get())
    if (s->type == type) return s;
  return nullptr;
}
const FmScbRange* range_of(const FmArb* a) {
  auto* r = reinterpret_cast<const FmScbRange*>(scb_of(a, FM_SCB_RANGE));
  return r && r->key_no == a->key_no ? r : nullptr;
}

// The record just delivered and how many of its bytes are the record's: its
// length (len_read), of a copy no more than the buffer took.
uint8_t* current(FmArb* a, size_t* len = nullptr) {
  if (a->op & FM_OP_FAST) {
    const FmHandlers* t = T(a);
    if (t && t->fast) {
      if (len) *len = a->len_read;
      return t->fast(a);
    }
  }
  if (len) *len = std::min<size_t>(a->len_read, a->rec_len ? a->rec_len : a->file->fdb.rec_len);
  return a->rec.get();
}

// A field of n bytes at off of a record of len bytes reads as the file keeps
// it: bytes past the record's end are zero (a short record of a
// variable-length file; the buffer holds something else there).
void copy_field(const uint8_t* rec, size_t len, size_t off, size_t n, uint8_t* out) {
  size_t in = off < len ? std::min(n, len - off) : 0;
  std::memcpy(out, rec + off, in);
  std::memset(out + in, 0, n - in);
}
bool field_is(const uint8_t* rec, size_t len, size_t off, size_t n, const uint8_t* value) {
  size_t in = off < len ? std::min(n, len - off) : 0;
  if (std::memcmp(rec + off, value, in) != 0) return false;
  for (size_t i = in; i < n; ++i)
    if (value[i]) return false;
  return true;
}

// Compares the key of a record of len bytes with a bound in key form: <0, 0
// (prefix equal), >0.
int cmp_bound(const FmKdb& k, const uint8_t* rec, size_t len, const uint8_t* bound, size_t blen) {
  uint8_t kr[FM_MAX_KEY_LEN], nr[FM_MAX_KEY_LEN], nb[FM_MAX_KEY_LEN];
  const FmSdb* s = segs(k);
  size_t at = 0;
  for (int i = 0; i < k.seg_count; ++i) {
    copy_field(rec, len, s[i].offset, s[i].length, kr + at);
    at += s[i].length;
  }
  norm_key(k, kr, at, nr);
  size_t n = norm_key(k, bound, blen, nb);
  return std::memcmp(nr, nb, n);
}

// 1 when the record (len bytes) lies inside the stream's range and meets its
// constraints.
bool admitted(FmArb* a, const uint8_t* rec, size_t len, bool* past_end) {
  *past_end = false;
  if (!a->scb || !rec) return true;
  if (const FmScbRange* r = range_of(a)) {
    const FmKdb* k = file_key(a->file.get(), r->key_no);
    if (k) {
      if (r->hi_len) {
        int c = cmp_bound(*k, rec, len, r->hi_key.get(), r->hi_len);
        if (c > 0 || (c == 0 && (r->hi_range & 16))) {
          *past_end = true;
          return false;
        }
      }
      if (r->lo_len) {
        int c = cmp_bound(*k, rec, len, r->lo_key.get(), r->lo_len);
        if (c < 0 || (c == 0 && (r->lo_range & 16))) return false;
      }
    }
  }
  if (auto* c = reinterpret_cast<const FmScbCns*>(scb_of(a, FM_SCB_CNS))) {
    const uint8_t* v = c->values.get();
    const FmCns* e = c->entries.get();
    size_t at = 0;
    for (uint32_t i = 0; i < c->count && e && v; ++i) {
      if (!field_is(rec, len, e[i].offset, e[i].length, v + at)) return false;
      at += e[i].length;
    }
  }
  return true;
}

void release_own(FmArb* a, int rc) {
  // A record this read held is let go again (not one another handle holds).
  if (rc && (a->op & FM_OP_HOLD)) {
    const FmHandlers* t = T(a);
    if (t && t->release) {
      uint32_t st = a->status;
      t->release(a, a);
      a->status = st;
    }
  }
}

void post_read(FmArb* a) {
  const FmEventProcs* ev = fm_event_procs();
  if (ev && ev->post_read && a->file->evt) ev->post_read(a);
}
int pre_upd(FmArb* a) {
  const FmEventProcs* ev = fm_event_procs();
  if (ev && ev->pre_upd && a->file->evt) return ev->pre_upd(a);
  return 1;
}
void post_upd(FmArb* a) {
  const FmEventProcs* ev = fm_event_procs();
  if (ev && ev->post_upd && a->file->evt) ev->post_upd(a);
}

bool lock_status(uint32_t st) { return st == FM_ST_HELD_SELF || st == FM_ST_LOCKED; }

// A block of the caller's scope (its work pool), freed when the call ends or
// unwinds; what an unwind leaves is freed with the scope.
struct ScopeBlock {
  void* p;
  explicit ScopeBlock(size_t n) : p(MM_ALLOC(mm_create_pool(" FM_WORK", com.depth, 0), n)) {}
  ~ScopeBlock() { mm_free(p); }
  ScopeBlock(const ScopeBlock&) = delete;
  ScopeBlock& operator=(const ScopeBlock&) = delete;
};

}  // namespace

// ============================================================ records ==
void PROTO_FULL(FmArb* a, int key_no, uint8_t* buffer) {
  if (!a) return;
  a->key_no = uint8_t(key_no);
  a->rec.set(buffer);
  a->op = 0;
}

int fm_read(FmArb* a) {
  if (!check(a)) return 0;
  const FmHandlers* t = T(a);
  if (!t || !t->read) return missing(a, "read");
  // The key number also matters to a read by record id: the handle is
  // positioned in that key for the reads that follow.
  if (!check_key(a, !(a->op & FM_OP_RID) && (a->op & FM_OP_KEY))) return 0;
  if (!(a->op & FM_OP_FAST) && !a->rec) return bad(a, "no record buffer");
  if (!(a->op & (FM_OP_RID | FM_OP_KEY | FM_OP_FIRST)) && !a->rec && a->file->fdb.key_count)
    return bad(a, "no record buffer holding the key");
  a->status = 0;
  int rc = t->read(a, a);
  if (!rc && !lock_status(a->status)) return 0;
  bool past;
  size_t len;
  uint8_t* rec = current(a, &len);
  if (!admitted(a, rec, len, &past)) {
    release_own(a, rc);
    return fail(a, FM_ST_NO_RECORD);
  }
  post_read(a);
  return rc;
}

int fm_start_at(FmArb* a, int key_no, uint8_t* buffer, const uint8_t* key, uint16_t key_len) {
  PROTO_FULL(a, key_no, buffer);
  a->key.set(const_cast<uint8_t*>(key));
  a->key_len = key_len;
  a->op = FM_OP_AT | FM_OP_KEY;
  int started = fm_start(a);
  a->op = 0;
  a->key.reset();
  a->key_len = 0;
  return started;
}

int fm_start(FmArb* a) {
  if (!check(a)) return 0;
  const FmHandlers* t = T(a);
  if (!t || !t->start) return missing(a, "start");
  bool at = a->op & FM_OP_AT;
  if (!check_key(a, at)) return 0;
  a->status = 0;
  const FmScbRange* r = range_of(a);
  if (!r || !r->lo_len) return t->start(a, a);
  // Start no earlier than the range's low bound.
  const FmKdb* k = file_key(a->file.get(), a->key_no);
  bool use_lo = true;
  if (at && k) {
    uint8_t nc[FM_MAX_KEY_LEN], nl[FM_MAX_KEY_LEN];
    size_t cn = norm_key(*k, a->key.get(), a->key_len, nc);
    size_t ln = norm_key(*k, r->lo_key.get(), r->lo_len, nl);
    int c = std::memcmp(nc, nl, std::min(cn, ln));
    if (c == 0) c = cn < ln ? -1 : (cn > ln ? 1 : 0);
    use_lo = c < 0 || (c == 0 && (r->lo_range & 16) && !((a->op & FM_OP_GE) || (a->range & 16)));
  }
  if (!use_lo) return t->start(a, a);
  FmArbKeep keep(a);
  a->op = uint16_t((keep.op & ~(FM_OP_FIRST | FM_OP_GE)) | FM_OP_AT | FM_OP_KEY);
  a->range = uint8_t(r->lo_range & 16);
  a->key = r->lo_key;
  a->key_len = r->lo_len;
  return t->start(a, a);
}

int fm_rdnxt(FmArb* a) {
  if (!check(a)) return 0;
  const FmHandlers* t = T(a);
  if (!t || !t->rdnxt) return missing(a, "read next");
  if (!check_key(a, false)) return 0;
  if (!(a->op & FM_OP_FAST) && !a->rec) return bad(a, "no record buffer");
  // Once started over, the reads go on without 4: a back end that starts
  // over at 4 itself would deliver a refused first record again and again.
  struct OpKeep {
    FmArb* a;
    uint16_t op;
    ~OpKeep() { a->op = op; }
  } keep{a, a->op};
  if (keep.op & FM_OP_FIRST) {
    a->op = FM_OP_FIRST;
    if (!fm_start(a)) return 0;
    a->op = uint16_t(keep.op & ~FM_OP_FIRST);
  }
  for (;;) {
    a->status = 0;
    int rc = t->rdnxt(a, a);
    if (!rc && !lock_status(a->status)) return 0;
    bool past;
    size_t len;
    uint8_t* rec = current(a, &len);
    if (admitted(a, rec, len, &past)) {
      post_read(a);
      return rc;
    }
    release_own(a, rc);
    if (past) return fail(a, FM_ST_EOF);
  }
}

uint8_t* fm_read_fast(FmArb* a, int options) {
  if (!check(a)) return nullptr;
  a->op = uint16_t(options | FM_OP_FAST);
  if (!fm_read(a)) return nullptr;
  return current(a);
}

uint8_t* fm_rdnxt_fast(FmArb* a, int options) {
  if (!check(a)) return nullptr;
  a->op = uint16_t(options | FM_OP_FAST);
  // A memory file read on with nothing to admit, hold or tell: one step.
  if (!(options & (FM_OP_FIRST | FM_OP_HOLD)) && !a->scb && fmi::is_mem(a) && !a->file->evt) {
    if (!check_key(a, false)) return nullptr;
    a->status = 0;
    return fmi::mem_rdnxt_fast(a);
  }
  if (!fm_rdnxt(a)) return nullptr;
  return current(a);
}

uint8_t* MADDR(FmArb* a, uint32_t rid) {
  if (!check(a)) return nullptr;
  a->rid = rid;
  return fm_read_fast(a, FM_OP_RID);
}

int fm_write(FmArb* a) {
  if (!check(a)) return 0;
  const FmHandlers* t = T(a);
  if (!t || !t->write) return missing(a, "write");
  if (!allowed(a, 2, "write")) return 0;
  if (!a->rec) return bad(a, "no record buffer");
  if (write_len(a) < 0) return 0;
  a->status = 0;
  if (!pre_upd(a)) return a->status ? 0 : fail(a, FM_ST_SYS);
  int rc = t->write(a, a);
  if (rc) post_upd(a);
  return rc;
}

int fm_write_all(FmArb* a, const uint8_t* recs, uint32_t count) {
  if (!check(a)) return 0;
  const FmHandlers* t = T(a);
  if (!t || !t->write) return missing(a, "write");
  if (!allowed(a, 2, "write")) return 0;
  a->status = 0;
  const FmEventProcs* ev = fm_event_procs();
  bool events = a->file->evt && ev && (ev->pre_upd || ev->post_upd);
  if (fmi::is_mem(a) && a->state == FM_HS_OPEN && !events) return fmi::mem_write_all(a, recs, count);
  // Else one fm_write a record: from the blocks themselves when they are to
  // be kept, else from a buffer of the engine's.
  size_t len = a->file->fdb.rec_len;
  bool byref = a->op & FM_OP_FAST;
  ScopeBlock buf(byref ? 1 : len ? len : 1);
  Ref<uint8_t> rec = a->rec;
  uint16_t rec_len = a->rec_len, op = a->op;
  a->rec.set(static_cast<uint8_t*>(buf.p));
  a->rec_len = 0;
  uint32_t n = 0;
  for (; n < count; ++n) {
    if (byref) a->rec.set(const_cast<uint8_t*>(recs + n * len));
    else std::memcpy(buf.p, recs + n * len, len);
    if (!fm_write(a)) break;
  }
  a->rec = rec;
  a->rec_len = rec_len;
  a->op = op;
  return int(n);
}

int fm_rewrite(FmArb* a) {
  if (!check(a)) return 0;
  const FmHandlers* t = T(a);
  if (!t || !t->rewrite) return missing(a, "rewrite");
  if (!allowed(a, 4, "rewrite")) return 0;
  if (!a->rec) return bad(a, "no record buffer");
  if (write_len(a) < 0) return 0;
  a->status = 0;
  if (!pre_upd(a)) return a->status ? 0 : fail(a, FM_ST_SYS);
  int rc = t->rewrite(a, a);
  if (rc) post_upd(a);
  return rc;
}

int fm_del(FmArb* a) {
  if (!check(a)) return 0;
  const FmHandlers* t = T(a);
  if (!t || !t->del) return missing(a, "delete");
  if (!allowed(a, 8, "delete")) return 0;
  a->status = 0;
  if (!pre_upd(a)) return a->status ? 0 : fail(a, FM_ST_SYS);
  int rc = t->del(a, a);
  if (rc) post_upd(a);
  return rc;
}

int64_t fm_mem_records(FmArb* a) {
  if (!a || !fm_live(a) || !fmi::is_mem(a)) return -1;
  return fmi::mem_records(a);
}

namespace {
// fm_mem_reset of a live handle.
int mem_reset_live(FmArb* a) {
  if (!fmi::is_mem(a) || a->state != FM_HS_OPEN) return fail(a, FM_ST_SYS);
  if (!fmi::mem_reset(a)) return 0;
  // The request fields as a new handle has them; the handle's own stay.
  FmArb own = *a;
  *a = fm_fad;
  a->state = own.state;
  a->fns = own.fns;
  a->file = own.file;
  a->priv = own.priv;
  a->priv_size = own.priv_size;
  a->scope = own.scope;
  a->hflags = own.hflags;
  a->link = own.link;
  a->scb = own.scb;
  a->be_id = own.be_id;
  a->parent = own.parent;
  a->fm_id = own.fm_id;
  return 1;
}
}  // namespace

int fm_mem_reset(FmArb* a) { return check(a) ? mem_reset_live(a) : 0; }

int fm_mem_reset_in(FmArb* a, int scope) {
  if (!fm_is_handle(a) || a->scope != scope) return 0;
  return mem_reset_live(a);
}

void fm_read_pass(FmArb* a, int how) {
  if (!check(a)) return;
  const FmHandlers* t = T(a);
  if (t && t->pass) t->pass(a, how);
}

int fm_del_all(FmArb* a) {
  if (!check(a)) return 0;
  const FmHandlers* t = T(a);
  if (!allowed(a, 8, "delete")) return 0;
  a->status = 0;
  if (t && t->del_all && !a->scb) return t->del_all(a, a);
  if (!t || !t->del || !t->rdnxt || !t->start) return missing(a, "delete all");
  // Record by record, through the stream's own range and constraints.
  int rc;
  {
    ScopeBlock buf(FM_MAX_REC + 1);
    FmArbKeep keep(a);
    a->rec.set(static_cast<uint8_t*>(buf.p));
    a->rec_len = FM_MAX_REC;
    const FmScbRange* r = reinterpret_cast<const FmScbRange*>(scb_of(a, FM_SCB_RANGE));
    if (r) a->key_no = r->key_no;
    a->op = FM_OP_FIRST;
    rc = fm_start(a);
    while (rc) {
      a->op = FM_OP_HOLD;
      if (!fm_rdnxt(a)) {
        rc = a->status == FM_ST_EOF;
        break;
      }
      a->op = 0;
      if (!t->del(a, a)) rc = 0;
    }
  }
  if (rc) a->status = 0;
  return rc;
}

int fm_release(FmArb* a) {
  if (!check(a)) return 0;
  const FmHandlers* t = T(a);
  if (!t || !t->release) return 1;
  a->status = 0;
  return t->release(a, a);
}

int fm_key_cmp(FmArb* a) {
  if (!check(a)) return 0;
  // The answer has no failure value: a comparison that cannot be made answers
  // 0 with status 200650, a made one leaves status 0.
  const FmKdb* k = file_key(a->file.get(), a->key_no);
  if (!k) return bad(a, "key number %d is not a key of %s", int(a->key_no), ident_text(a->file->fdb).c_str());
  if (a->key_len > k->key_len)
    return bad(a, "key of %d bytes for key %d of %s (%d bytes)", int(a->key_len), int(a->key_no),
               ident_text(a->file->fdb).c_str(), int(k->key_len));
  if (a->key_len && !a->key) return bad(a, "no key given");
  size_t len;
  const uint8_t* rec = current(a, &len);
  if (!rec) return bad(a, "no current record to compare");
  a->status = 0;
  int c = cmp_bound(*k, rec, len, a->key.get(), a->key_len);
  return c > 0 ? 1 : (c < 0 ? -1 : 0);
}

// ============================================================ streams ==
namespace {

// Copies a control-block chain, with the keys and values it points at, into
// one block of the file manager's pool. Type 3 becomes the type 2 copy.
FmScb* copy_chain(const FmScb* in, FmArb* err) {
  size_t size = 0;
  int n = 0;
  for (const FmScb* s = in; s; s = s->next.get()) {
    if (++n > 16) {
      bad(err, "stream control block chain too long");
      return nullptr;
    }
    switch (s->type) {
      case FM_SCB_RANGE: {
        // Lengths and pointers are checked before anything is copied from them.
        auto* r = reinterpret_cast<const FmScbRange*>(s);
        if (r->lo_len > FM_MAX_KEY_LEN || r->hi_len > FM_MAX_KEY_LEN) {
          bad(err, "key range bound of %d bytes (at most %zu)", int(std::max(r->lo_len.get(), r->hi_len.get())),
              FM_MAX_KEY_LEN);
          return nullptr;
        }
        if ((r->lo_len && !r->lo_key) || (r->hi_len && !r->hi_key)) {
          bad(err, "key range without its key");
          return nullptr;
        }
        size += sizeof(FmScbRange) + r->lo_len + r->hi_len;
        break;
      }
      case FM_SCB_QUERY:
      case FM_SCB_PCF_QUERY: size += sizeof(FmScbQuery); break;
      case FM_SCB_CNS: {
        auto* c = reinterpret_cast<const FmScbCns*>(s);
        if (c->len > FM_MAX_REC || c->count > FM_MAX_REC) {
          bad(err, "key constraints of %u bytes in %u entries", unsigned(c->len), unsigned(c->count));
          return nullptr;
        }
        if ((c->len && !c->values) || (c->count && !c->entries)) {
          bad(err, "key constraint values missing");
          return nullptr;
        }
        size += sizeof(FmScbCns) + c->len + c->count * sizeof(FmCns);
        break;
      }
      default: bad(err, "unknown stream control block type %u", unsigned(s->type)); return nullptr;
    }
    size = (size + 7) & ~size_t(7);
  }
  auto* block = static_cast<uint8_t*>(MM_ALLOC(pool(), size ? size : 8));
  uint8_t* p = block;
  FmScb* prev = nullptr;
  FmScb* head = nullptr;
  for (const FmScb* s = in; s; s = s->next.get()) {
    FmScb* out = reinterpret_cast<FmScb*>(p);
    switch (s->type) {
      case FM_SCB_RANGE: {
        auto* r = reinterpret_cast<const FmScbRange*>(s);
        auto* o = reinterpret_cast<FmScbRange*>(p);
        *o = *r;
        uint8_t* k = p + sizeof(FmScbRange);
        if (r->lo_len) std::memcpy(k, r->lo_key.get(), r->lo_len);
        o->lo_key.set(r->lo_len ? k : nullptr);
        k += r->lo_len;
        if (r->hi_len) std::memcpy(k, r->hi_key.get(), r->hi_len);
        o->hi_key.set(r->hi_len ? k : nullptr);
        p += sizeof(FmScbRange) + r->lo_len + r->hi_len;
        break;
      }
      case FM_SCB_QUERY:
      case FM_SCB_PCF_QUERY: {
        auto* o = reinterpret_cast<FmScbQuery*>(p);
        *o = *reinterpret_cast<const FmScbQuery*>(s);
        o->head.type = FM_SCB_QUERY;
        p += sizeof(FmScbQuery);
        break;
      }
      case FM_SCB_CNS: {
        auto* c = reinterpret_cast<const FmScbCns*>(s);
        auto* o = reinterpret_cast<FmScbCns*>(p);
        *o = *c;
        uint8_t* v = p + sizeof(FmScbCns);
        if (c->len) std::memcpy(v, c->values.get(), c->len);
        o->values.set(c->len ? v : nullptr);
        v += c->len;
        if (c->count) std::memcpy(v, c->entries.get(), c->count * sizeof(FmCns));
        o->entries.set(c->count ? reinterpret_cast<FmCns*>(v) : nullptr);
        p += sizeof(FmScbCns) + c->len + c->count * sizeof(FmCns);
        break;
      }
    }
    p = block + ((size_t(p - block) + 7) & ~size_t(7));
    out->next.reset();
    if (prev) prev->next.set(out);
    else head = out;
    prev = out;
  }
  if (!head) mm_free(block);
  return head;
}

int check_chain(FmArb* a, const FmScb* chain) {
  const FmFile* f = a->file.get();
  for (const FmScb* s = chain; s; s = s->next.get()) {
    if (s->type == FM_SCB_RANGE) {
      auto* r = reinterpret_cast<const FmScbRange*>(s);
      const FmKdb* k = file_key(f, r->key_no);
      if (!k) return bad(a, "key range on key %d, not a key of %s", int(r->key_no), ident_text(f->fdb).c_str());
      if (r->lo_len > k->key_len || r->hi_len > k->key_len)
        return bad(a, "key range bound longer than key %d of %s", int(r->key_no), ident_text(f->fdb).c_str());
      if ((r->lo_len && !r->lo_key) || (r->hi_len && !r->hi_key)) return bad(a, "key range without its key");
    } else if (s->type == FM_SCB_CNS) {
      auto* c = reinterpret_cast<const FmScbCns*>(s);
      size_t sum = 0;
      const FmCns* e = c->entries.get();
      for (uint32_t i = 0; i < c->count; ++i) {
        if (!e || int(e[i].offset) + int(e[i].length) > int(f->fdb.rec_len))
          return bad(a, "key constraint outside the record of %s", ident_text(f->fdb).c_str());
        sum += e[i].length;
      }
      if (sum > c->len || (c->len && !c->values)) return bad(a, "key constraint values missing");
    }
  }
  return 1;
}

}  // namespace

FmArb* FM_ATTACH(FmArb* a, FmScb* scb, int scope) {
  if (!check(a)) return nullptr;
  FmArb* base = a->state == FM_HS_OPEN ? a : a->parent.get();
  if (!base || !fm_live(base)) {
    a->status = FM_ST_NO_STREAM;
    return nullptr;
  }
  a->status = 0;
  if (scb && !arena::contains(scb)) {
    bad(a, "stream control block outside the engine memory");
    return nullptr;
  }
  FmScb* chain = nullptr;
  if (scb) {
    chain = copy_chain(scb, a);
    if (!chain) return nullptr;
    if (!check_chain(a, chain)) {
      mm_free(chain);
      return nullptr;
    }
  }
  FmArb* s = fm_new_stream(base, scope);
  s->scb.set(chain);
  s->rec = a->rec;
  s->rec_len = a->rec_len;
  s->key_no = a->key_no;
  s->lock_wait = a->lock_wait;
  s->lang_from = a->lang_from;
  s->lang_to = a->lang_to;
  // A query goes to the query engine.
  const FmScb* q = scb_of(s, FM_SCB_QUERY);
  if (q) {
    FmQueryAttach hook = fm_query_attach_hook();
    FmScb* cns = nullptr;
    for (FmScb* c = chain; c; c = c->next.get())
      if (c->type == FM_SCB_CNS) cns = c;
    s->state = FM_HS_QUERY;
    // Until the query engine points the stream at its own operations, the
    // stream has none (each answers 200650): never the file's back end,
    // which has no part of its own for this stream.
    static const FmHandlers no_ops = [] {
      FmHandlers h{};
      h.type = FM_BE_QUERY;
      return h;
    }();
    fm_set_handlers(s, &no_ops);
    void* active = hook ? hook(a, s, cns) : nullptr;
    if (!active) {
      if (!hook) bad(a, "no query engine to attach a query stream of %s", ident_text(a->file->fdb).c_str());
      else if (!a->status) a->status = FM_ST_SYS;
      fm_drop_stream(s);
      return nullptr;
    }
    return s;
  }
  const FmHandlers* t = T(base);
  int rc = 1;
  if (t && t->alloc_id && !t->alloc_id(s)) rc = 0;
  if (rc) rc = t && t->attach ? t->attach(a, s) : missing(s, "attach");
  if (!rc) {
    a->status = s->status ? uint32_t(s->status) : FM_ST_SYS;
    if (t && t->free_id) t->free_id(s);
    fm_drop_stream(s);
    return nullptr;
  }
  s->status = 0;
  return s;
}

FmArb* FM_ATTACH(FmArb* a, FmArb** out, int scope) {
  FmArb* s = FM_ATTACH(a, static_cast<FmScb*>(nullptr), scope);
  if (out) *out = s;
  return s;
}
