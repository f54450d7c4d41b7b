// Query streams: the query engine as a back end of the file manager. See
// pb.h.
//
// An active query selects the records of its file once, sorts them into
// pointer records (break levels and record id) and keeps those for every
// stream that reads it; a stream cursor is the stream's position in them and
// its own handle on the file, through which it reads, rewrites, deletes and
// releases the records it delivers. A record's id is its record address
// (4 bytes) or the value of a unique key of the file, as the query's
// definition says; a tagged query's records are the ones its tags name, in
// tag order, without sort levels.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <unordered_map>

#include "foundation/mm.h"
#include "foundation/ut.h"
#include "process/pb.h"
#include "screen/wm.h"

namespace {

constexpr uint16_t kRidLen = 4;
// The caller's operation bits that go on to a record read (hold, wait, ...).
constexpr uint16_t kReadBits = 0x10c0;
// Both levels of a tagged query's pointer records.
constexpr uint16_t kTagLevel = 65535;
// The longest id: a key value.
constexpr size_t kMaxId = 256;

// A key handed to the file manager lives in the arena.
uint8_t* key_buf() {
  static auto* b = static_cast<uint8_t*>(arena::alloc_chunk(kMaxId));
  return b;
}

struct Ptr {
  uint16_t before = 0, after = 0;
};

struct Query {
  uint32_t id = 0;
  int scope = 0;
  std::string app, name;
  FmArb* base = nullptr;              // the open handle of the query's file
  std::string file_id;                // that file's identity (fm path)
  std::vector<PbQslct> lines;
  std::vector<PbStep> prog;
  std::function<bool(const PbQslct&, const uint8_t*)> test;
  PbKeyDef key;
  std::string criteria;
  std::vector<uint8_t> cns_values;    // key constraints of the attach and of the query
  std::vector<FmCns> cns;             // process: the values and their fields; only
                                      // records holding them are chosen
  std::shared_ptr<Query> source;      // constrained: the old query whose records it chooses among
  int id_key = -1;                    // -1: ids are record addresses; else the unique key
  uint16_t id_len = kRidLen;          // whose value is the id, and its length
  std::vector<std::pair<uint16_t, uint16_t>> id_segs;  // that key's segments (offset, length)
  bool tagged = false;
  std::function<int(std::vector<std::string>*, uint32_t*)> tags;
  std::array<uint8_t, 4> info{{' ', ' ', ' ', ' '}};   // pb_get_info's second value
  bool executed = false;
  uint32_t status = 0;                // a failed execution's status, kept for every reader
  // The pointer records: the sort's pointer file (or its one run in
  // memory), which every stream reads through a reader of its own; a
  // tagged query's records in ptrs and ids.
  std::unique_ptr<PbSort> sort;
  std::vector<Ptr> ptrs;
  std::vector<uint8_t> ids;           // tagged: the ids, id_len bytes each
  std::unordered_map<std::string, size_t> by_id;  // id to pointer record, on first need
  const uint8_t* id_at(size_t i) const { return ids.data() + i * id_len; }
  uint32_t selected = 0, refused = 0, delivered = 0, cursors = 0;
};

// A position in a query's pointer records.
struct PtrPos {
  const Query* q = nullptr;
  std::unique_ptr<PbSort::Reader> r;
  size_t pos = 0;
  int open(const Query& query, uint32_t* st) {
    q = &query;
    pos = 0;
    r.reset();
    if (q->sort && !(r = q->sort->reader())) return (*st = q->sort->status()), 0;
    return 1;
  }
  int next(PbPtr* out, uint32_t* st) {
    if (r) return r->next(out, st) ? (++pos, 1) : 0;
    if (pos >= q->ptrs.size()) return (*st = FM_ST_EOF), 0;
    out->before = q->ptrs[pos].before;
    out->after = q->ptrs[pos].after;
    out->id = q->id_at(pos);
    ++pos;
    return 1;
  }
  // To the i-th record (rewound and read forward: the pointer file is
  // sequential).
  int seek(size_t i, uint32_t* st) {
    pos = 0;
    if (r && !r->rewind(st)) return 0;
    PbPtr p;
    while (pos < i)
      if (!next(&p, st)) return 0;
    return 1;
  }
};

struct Cursor {
  std::shared_ptr<Query> q;
  FmArb* pcf = nullptr;               // the cursor's handle on the query's file
  bool passing = false;               // its reads are a pass over the file (fm_read_pass)
  bool events = false;
  PtrPos ptrs;                        // the next pointer record
  std::unique_ptr<PbReader> reader;
  FmArb* req = nullptr;               // the caller of the running operation
  uint16_t len_read = 0;
  uint8_t* fast_rec = nullptr;        // the record a fast read delivered
  std::unique_ptr<uint8_t[]> own;     // fast reads by key: the record read
  // The id handed to the caller (rid_ext): arena memory, as handles take.
  uint8_t* id = static_cast<uint8_t*>(arena::alloc_chunk(kMaxId));
  Cursor() = default;
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  ~Cursor() { arena::free_chunk(id, kMaxId); }
};

using Key = std::tuple<int, std::string, std::string>;
struct Engine {
  std::map<Key, std::shared_ptr<Query>> active;
  std::multimap<int, std::shared_ptr<Query>> hidden;   // narrowed queries, by scope
  std::unordered_map<FmArb*, std::unique_ptr<Cursor>> cursors;
  PbDefine define;
  std::function<void()> yield;
  // The progress line: shown at counts 1, 2, ..., 10, 20, ..., 100, 200, ...
  bool show_progress = false;
  std::function<void(const char*)> show;
  int phase = 0;
  uint32_t step = 1, threshold = 10, next = 1;
  uint32_t next_id = 1;
};
Engine& E() {
  static Engine e;
  return e;
}

// A file's identity, as the file manager names it.
std::string file_ident(const FmArb* h) {
  return std::string(reinterpret_cast<const char*>(&h->file->fdb), FM_PATH_LEN);
}

// A query's definition from the source set, else from its query files.
int define(const FmScbQuery& b, PbQueryDef* out) {
  const PbDefine& d = E().define;
  return d ? d(b, out) : pb_qfi_define(b, out);
}

// Phase 1 selecting, 3 reading, 4 done (the line goes).
void upd_progress(int phase, const Query& q) {
  Engine& e = E();
  if (!e.show_progress) return;
  // Unless replaced, the line is the screen's message line, written at once.
  std::function<void(const char*)> show = e.show ? e.show : [](const char* t) { wm_msg_line(t ? t : ""); };
  if (phase != e.phase || phase == 4) {
    e.phase = phase;
    e.step = 1, e.threshold = 10, e.next = 1;
    show(nullptr);
    if (phase == 4) return;
  }
  uint32_t count = phase == 1 ? q.selected + q.refused : q.delivered;
  if (count != e.next) return;
  char text[96];
  if (phase == 1) std::snprintf(text, sizeof text, "Selecting record %u of %u processed", q.selected, count);
  else std::snprintf(text, sizeof text, "Processing record %u of %u selected", std::min(q.delivered, q.selected), q.selected);
  show(text);
  if (count >= e.threshold) e.threshold *= 10, e.step *= 10;
  e.next += e.step;
}

std::string trim(const char* p, size_t n) {
  while (n && p[n - 1] == ' ') --n;
  return std::string(p, n);
}

Cursor* cursor_of(FmArb* s) {
  auto it = E().cursors.find(s);
  return it == E().cursors.end() ? nullptr : it->second.get();
}

int fail(FmArb* a, uint32_t st) {
  a->status = st;
  return 0;
}

// Copies the outcome of an operation on the cursor's handle to the caller.
int back(FmArb* req, FmArb* h, int rc) {
  req->status = h->status;
  req->os_err = h->os_err;
  req->len_read = h->len_read;
  return rc;
}

// Hands the caller's buffer (when it is not fast) and operation to the
// cursor's handle.
void hand(FmArb* req, FmArb* h, uint16_t op) {
  h->op = op;
  if (!(op & FM_OP_FAST)) {
    h->rec = req->rec;
    h->rec_len = req->rec_len;
  }
  h->lock_wait = req->lock_wait;
}

// Reads the record of id through h, by its address or as the value of the
// query's id key: 0 read, 200520/200530 read but held, 200450 gone, another
// status a failure.
uint32_t read_id(const Query& q, FmArb* h, const uint8_t* id, uint16_t op) {
  int rc;
  if (q.id_key < 0) {
    h->op = uint16_t(op | FM_OP_RID);
    h->rid = rec::view<rec::U32>(id);
    rc = fm_read(h);
  } else {
    uint8_t key_no = h->key_no;
    h->op = uint16_t(op | FM_OP_KEY | FM_OP_EQUAL);
    h->key_no = uint8_t(q.id_key);
    std::memcpy(key_buf(), id, q.id_len);
    h->key.set(key_buf());
    h->key_len = q.id_len;
    rc = fm_read(h);
    h->key.reset();
    h->key_len = 0;
    h->key_no = key_no;
  }
  if (rc) return 0;
  return h->status ? uint32_t(h->status) : uint32_t(FM_ST_SYS);
}

// The id of the record in rec: its address, or its id key's value.
void id_of(const Query& q, const uint8_t* rec, uint32_t rid, uint8_t* out) {
  if (q.id_key < 0) {
    rec::view<rec::U32>(out).set(rid);
    return;
  }
  for (auto [off, len] : q.id_segs) {
    std::memcpy(out, rec + off, len);
    out += len;
  }
}

// A tagged query: its pointer records are the tagged ids, in tag order.
int run_tagged(Query& q) {
  std::vector<std::string> tags;
  uint32_t st = 0;
  if (!q.tags || !q.tags(&tags, &st)) return (q.status = st ? st : uint32_t(FM_ST_SYS)), 0;
  for (std::string& t : tags) {
    t.resize(q.id_len, ' ');
    q.ptrs.push_back(Ptr{kTagLevel, kTagLevel});
    q.ids.insert(q.ids.end(), t.begin(), t.end());
  }
  q.selected = uint32_t(tags.size());
  return 1;
}

int execute(Query& q);

// Selects, sorts and keeps the pointer records: 1, or 0 with q.status.
int run_query(Query& q) {
  if (q.tagged) return run_tagged(q);
  if (q.source && !execute(*q.source)) return (q.status = q.source->status), 0;
  FmArb* sel = FM_ATTACH(q.base, static_cast<FmScb*>(nullptr), q.scope);
  if (!sel) return (q.status = q.base->status ? uint32_t(q.base->status) : FM_ST_SYS), 0;
  struct Gone {
    FmArb* h;
    ~Gone() { fm_detach(h); }
  } gone{sel};
  // The selection reads the whole file once (an old query's records: by id).
  fm_read_pass(sel, q.source ? FM_PASS_SCATTERED : FM_PASS_WALK);
  size_t rec_len = std::max<size_t>(q.base->file->fdb.rec_len, 1);
  struct Pool {
    MmPool p;
    ~Pool() { mm_destroy_pool(p); }
  } pool{mm_create_pool(nullptr, q.scope, 0)};
  auto* rec = static_cast<uint8_t*>(MM_ALLOC(pool.p, rec_len));
  q.sort = std::make_unique<PbSort>(q.app.c_str(), q.scope, q.id, q.key.key_len, q.id_len, q.key.level_of,
                                    q.key.levels, pb_run_mem());
  PbSort& sort = *q.sort;
  std::vector<uint8_t> elem(size_t(q.key.key_len) + q.id_len);
  uint32_t ordinal = 0;
  auto consider = [&](uint32_t rid) -> int {
    if (E().yield) E().yield();
    // A short (variable) record leaves the buffer's tail as the record
    // before left it: it reads as zeros, as the file's keys make it.
    if (sel->len_read < rec_len) std::memset(rec + sel->len_read, 0, rec_len - sel->len_read);
    size_t at = 0;
    for (const FmCns& k : q.cns) {
      if (std::memcmp(rec + k.offset, q.cns_values.data() + at, k.length) != 0) return 1;
      at += k.length;
    }
    bool in = pb_run_slct(q.prog, [&](int line) { return q.test(q.lines[size_t(line)], rec); });
    ++(in ? q.selected : q.refused);
    upd_progress(1, q);
    if (!in) return 1;
    pb_enc_key(q.key, rec, ++ordinal, elem.data());
    id_of(q, rec, rid, elem.data() + q.key.key_len);
    if (!sort.add(elem.data())) return (q.status = sort.status()), 0;
    return 1;
  };
  sel->rec.set(rec);
  sel->rec_len = 0;
  sel->key_no = 0;
  if (q.source) {
    // Among the old query's records, in its order: those gone are passed over.
    const Query& o = *q.source;
    PtrPos old;
    PbPtr p;
    uint32_t st = 0;
    if (!old.open(o, &st)) return (q.status = st), 0;
    while (old.next(&p, &st)) {
      st = read_id(o, sel, p.id, 0);
      if (st == FM_ST_NO_RECORD) continue;
      if (st && st != FM_ST_HELD_SELF && st != FM_ST_LOCKED) return (q.status = st), 0;
      if (!consider(sel->rid)) return 0;
    }
    if (st != FM_ST_EOF) return (q.status = st), 0;
  } else {
    sel->op = FM_OP_FIRST;
    for (;;) {
      int rc = fm_rdnxt(sel);
      sel->op = 0;
      if (!rc && sel->status == FM_ST_EOF) break;
      if (!rc && sel->status != FM_ST_HELD_SELF && sel->status != FM_ST_LOCKED)
        return (q.status = sel->status ? uint32_t(sel->status) : FM_ST_SYS), 0;
      if (!consider(sel->rid)) return 0;
    }
  }
  if (!sort.finish()) return (q.status = sort.status()), 0;
  return 1;
}

int execute(Query& q) {
  if (q.executed) return q.status ? 0 : 1;
  q.executed = true;
  try {
    return run_query(q);
  } catch (...) {
    // An unwind (the engine's yield) leaves the query to be run again.
    q.executed = false;
    q.status = 0;
    q.sort.reset();
    q.ptrs.clear();
    q.ids.clear();
    q.selected = q.refused = 0;
    throw;
  }
}

// Reads the record of id for the caller's operation (its hold, wait and
// fast bits) through the cursor's handle: into the caller's buffer or, for
// a fast read, where pb_fast hands it out (the record itself, or the
// cursor's own copy of one read by key). The cursor keeps its length. A
// status as read_id.
uint32_t read_rec(Cursor* c, FmArb* req, const uint8_t* id) {
  uint16_t op = uint16_t(req->op & (kReadBits | FM_OP_FAST));
  hand(req, c->pcf, op);
  uint32_t st;
  if ((op & FM_OP_FAST) && c->q->id_key < 0) {
    c->pcf->rid = rec::view<rec::U32>(id);
    c->fast_rec = fm_read_fast(c->pcf, (op & ~FM_OP_FAST) | FM_OP_RID);
    st = c->fast_rec || c->pcf->status ? uint32_t(c->pcf->status) : uint32_t(FM_ST_SYS);
  } else if (op & FM_OP_FAST) {
    // By key: the record goes to the cursor's own buffer, which the fast
    // read hands out.
    c->pcf->rec.set(c->own.get());
    c->pcf->rec_len = 0;
    st = read_id(*c->q, c->pcf, id, uint16_t(op & ~FM_OP_FAST));
    c->fast_rec = st == 0 || st == FM_ST_HELD_SELF || st == FM_ST_LOCKED ? c->own.get() : nullptr;
  } else {
    st = read_id(*c->q, c->pcf, id, op);
  }
  c->len_read = c->pcf->len_read;
  req->os_err = c->pcf->os_err;
  return st;
}

void new_reader(Cursor* c) {
  c->ptrs = PtrPos{};
  c->reader = std::make_unique<PbReader>(
      c->q->key.levels, c->events,
      [c](PbPtr* out, uint32_t* st) {
        Query& q = *c->q;
        if (!execute(q)) return (*st = q.status), 0;
        if (!c->ptrs.q && !c->ptrs.open(q, st)) return 0;
        if (!c->ptrs.next(out, st)) return 0;
        ++q.delivered;
        upd_progress(3, q);
        return 1;
      },
      [c](const uint8_t* id) -> uint32_t {
        FmArb* req = c->req;
        if (!c->passing) {
          // The records come in the query's order, scattered over the file.
          fm_read_pass(c->pcf, FM_PASS_SCATTERED);
          c->passing = true;
        }
        return read_rec(c, req, id);
      });
}

// Gives the caller the id of a record: its address in rid, or the key value
// (also in rid_ext, the cursor's copy).
void hand_id(FmArb* req, Cursor* c, const uint8_t* id) {
  const Query& q = *c->q;
  req->rid_len = q.id_len;
  if (q.id_key < 0) {
    req->rid = rec::view<rec::U32>(id);
    req->rid_ext.reset();
    return;
  }
  std::memcpy(c->id, id, q.id_len);
  req->rid = 0;
  req->rid_ext.set(c->id);
}

// The pointer record of an id: its index, or -1 (also when the pointer
// records cannot be read). The index is built on the first such look-up.
long find_id(Query& q, const uint8_t* id) {
  if (q.by_id.empty()) {
    PtrPos all;
    PbPtr p;
    uint32_t st = 0;
    if (!all.open(q, &st)) return -1;
    for (size_t i = 0; all.next(&p, &st); ++i)
      q.by_id.emplace(std::string(reinterpret_cast<const char*>(p.id), q.id_len), i);
    if (st != FM_ST_EOF) {
      q.by_id.clear();
      return -1;
    }
  }
  auto it = q.by_id.find(std::string(reinterpret_cast<const char*>(id), q.id_len));
  return it == q.by_id.end() ? -1 : long(it->second);
}

// ----------------------------------------------------- stream operations --
int pb_close(FmArb* req, FmArb* s) {
  (void)req;
  if (Cursor* c = cursor_of(s); c && c->pcf) {
    fm_detach(c->pcf);
    c->pcf = nullptr;
  }
  return 1;
}

int pb_detach(FmArb* req, FmArb* s) {
  (void)req;
  auto it = E().cursors.find(s);
  if (it == E().cursors.end()) return 1;
  Cursor* c = it->second.get();
  if (c->pcf) fm_detach(c->pcf);
  --c->q->cursors;
  E().cursors.erase(it);
  return 1;
}

// Starts the stream at its first record or, with a key given (the id of
// one of the query's records), at that record.
int pb_start(FmArb* req, FmArb* s) {
  Cursor* c = cursor_of(s);
  if (!c || !c->pcf) return fail(req, FM_ST_SYS);
  if (!execute(*c->q)) return fail(req, c->q->status);
  new_reader(c);
  if ((req->op & FM_OP_KEY) && req->key && !(req->op & FM_OP_FIRST)) {
    if (req->key_len != c->q->id_len) return fail(req, FM_ST_NO_RECORD);
    long at = find_id(*c->q, req->key.get());
    if (at < 0) return fail(req, FM_ST_NO_RECORD);
    uint32_t st = 0;
    if (!c->ptrs.open(*c->q, &st) || !c->ptrs.seek(size_t(at), &st)) return fail(req, st);
  }
  req->status = 0;
  return 1;
}

int pb_rdnxt(FmArb* req, FmArb* s) {
  Cursor* c = cursor_of(s);
  if (!c || !c->pcf) return fail(req, FM_ST_SYS);
  if ((req->op & FM_OP_FIRST) && !pb_start(req, s)) return 0;
  c->req = req;
  PbEvent ev;
  uint32_t st = 0;
  if (!c->reader->next(&ev, &st)) {
    if (st == FM_ST_EOF) upd_progress(4, *c->q);
    return fail(req, st);
  }
  req->level = ev.level;
  // A level event leaves the buffer with the record read before it (the
  // next one, or the last at the end): its length goes with it.
  req->len_read = c->len_read;
  if (ev.status == kPbLevelStart || ev.status == kPbLevelEnd) {
    req->status = ev.status;
    return 1;
  }
  hand_id(req, c, ev.id);
  req->status = ev.status;
  // A record another user or handle holds comes with that status, as a
  // plain read gives it.
  return ev.status == kPbRecord ? 1 : 0;
}

// Reads a record of the query by its id (re-read) or by its id as key.
int pb_read(FmArb* req, FmArb* s) {
  Cursor* c = cursor_of(s);
  if (!c || !c->pcf) return fail(req, FM_ST_SYS);
  Query& q = *c->q;
  if (!execute(q)) return fail(req, q.status);
  const uint8_t* id = nullptr;
  uint8_t rid[kRidLen];
  if ((req->op & FM_OP_RID) && q.id_key < 0) {
    rec::view<rec::U32>(rid).set(req->rid);
    id = rid;
  } else if ((req->op & FM_OP_RID) && req->rid_ext && req->rid_len == q.id_len) {
    id = req->rid_ext.get();
  } else if ((req->op & FM_OP_KEY) && req->key && req->key_len == q.id_len) {
    id = req->key.get();
  } else {
    return fail(req, FM_ST_NO_RECORD);
  }
  if (find_id(q, id) < 0) return fail(req, FM_ST_NO_RECORD);
  std::vector<uint8_t> keep(id, id + q.id_len);
  id = keep.data();
  uint32_t st = read_rec(c, req, id);
  back(req, c->pcf, 0);
  hand_id(req, c, id);
  return st == 0 ? 1 : 0;
}

// Rewrite, delete, release and write go to the cursor's handle on the file.
template <int (*Op)(FmArb*)>
int through(FmArb* req, FmArb* s) {
  Cursor* c = cursor_of(s);
  if (!c || !c->pcf) return fail(req, FM_ST_SYS);
  hand(req, c->pcf, req->op);
  c->pcf->rid = req->rid;
  int rc = Op(c->pcf);
  back(req, c->pcf, rc);
  req->rid = c->pcf->rid;
  return rc;
}

uint8_t* pb_fast(FmArb* s) {
  Cursor* c = cursor_of(s);
  return c ? c->fast_rec : nullptr;
}

const FmHandlers* table() {
  static const FmHandlers t = [] {
    FmHandlers h{};
    h.type = FM_BE_QUERY;
    h.close = pb_close;
    h.del = through<fm_del>;
    h.detach = pb_detach;
    h.rdnxt = pb_rdnxt;
    h.read = pb_read;
    h.release = through<fm_release>;
    h.rewrite = through<fm_rewrite>;
    h.start = pb_start;
    h.write = through<fm_write>;
    h.fast = pb_fast;
    return h;
  }();
  return &t;
}

// ------------------------------------------------------------- attach --
std::shared_ptr<Query> build(const FmScbQuery& b, FmArb* base, const FmScb* constraints, uint32_t id,
                             std::shared_ptr<Query> source) {
  Engine& e = E();
  PbQueryDef def;
  if (!define(b, &def) || !def.test) return nullptr;
  // The selection tests and the sort keys read the query's records in a
  // buffer of the file's record length (run_query): a line or a sort field
  // that reaches past it fails the attach.
  uint32_t rec_len = base->file->fdb.rec_len;
  if (def.reads_to > rec_len) return nullptr;
  for (const std::string& f : def.files)
    if (f != trim(base->file->fdb.name.data(), 8)) return nullptr;
  for (const PbKeyField& f : def.key.fields)
    if (f.type && uint64_t(f.offset) + f.len > rec_len) return nullptr;
  auto q = std::make_shared<Query>();
  q->scope = int(b.scope);
  q->app = trim(b.app.data(), 3);
  q->name = trim(b.name.data(), 30);
  q->base = base;
  q->file_id = file_ident(base);
  q->lines = std::move(def.lines);
  size_t len = std::max<size_t>({def.text8.size(), def.text9.size(), 1});
  std::string t8 = def.text8, t9 = def.text9;
  t8.resize(len, ' ');
  t9.resize(len, ' ');
  PbTree tree;
  uint32_t st = 0;
  size_t pos = 0;
  if (!pb_bld_slct(t8.data(), t9.data(), len, &q->lines, &tree, &st, &pos)) return nullptr;
  q->prog = pb_cmpl_slct(tree);
  q->test = std::move(def.test);
  q->key = std::move(def.key);
  if (!pb_key_layout(&q->key)) return nullptr;
  q->criteria = std::move(def.criteria);
  q->source = std::move(source);
  q->tagged = def.tagged;
  q->tags = std::move(def.tags);
  q->info = def.info;
  if (q->tagged) q->key = PbKeyDef{}, pb_key_layout(&q->key);
  if (def.id_key >= 0) {
    // The id is the value of a unique key of the file; a file without it
    // (no index, or duplicates) has only its record addresses.
    const FmFdb& f = base->file->fdb;
    const FmKdb* k = f.kdb.get();
    int i = 0;
    while (k && i < f.key_count && k[i].key_no != def.id_key) ++i;
    bool unique = k && i < f.key_count && !(k[i].flags & FM_KEY_DUP) && k[i].key_len;
    if (unique && k[i].key_len > kMaxId) return nullptr;
    if (unique) {
      q->id_key = def.id_key;
      q->id_len = k[i].key_len;
      for (int j = 0; j < k[i].seg_count; ++j)
        q->id_segs.emplace_back(k[i].segs.get()[j].offset, k[i].segs.get()[j].length);
    }
  }
  for (const FmCns& e : def.cns) {
    size_t n = q->cns_values.size();
    if (size_t(e.offset) + e.length > base->file->fdb.rec_len || n + e.length > def.cns_values.size()) return nullptr;
    q->cns.push_back(e);
    q->cns_values.insert(q->cns_values.end(), def.cns_values.begin() + long(n), def.cns_values.begin() + long(n + e.length));
  }
  if (auto* k = reinterpret_cast<const FmScbCns*>(constraints); k && k->values && k->entries) {
    size_t n = 0;
    for (uint32_t i = 0; i < k->count; ++i) {
      const FmCns& e = k->entries.get()[i];
      if (size_t(e.offset) + e.length > base->file->fdb.rec_len || n + e.length > k->len) return nullptr;
      q->cns.push_back(e);
      n += e.length;
    }
    q->cns_values.insert(q->cns_values.end(), k->values.get(), k->values.get() + n);
  }
  if (id) {
    q->id = id;
  } else {
    q->id = e.next_id;
    e.next_id += 20;
  }
  return q;
}

// Ends an active query's pointer records: its streams read nothing more.
void shut_down(Query& q) {
  for (auto& [s, c] : E().cursors)
    if (c->q.get() == &q) {
      c->ptrs = PtrPos{};
      c->ptrs.q = &q;
    }
  q.sort.reset();
  q.ptrs.clear();
  q.ids.clear();
  q.by_id.clear();
}

void* pb_attach(FmArb* req, FmArb* s, FmScb* constraints) {
  Engine& e = E();
  const FmScb* h = s->scb.get();
  while (h && h->type != FM_SCB_QUERY) h = h->next.get();
  if (!h) return fail(req, FM_ST_SYS), nullptr;
  const auto& b = *reinterpret_cast<const FmScbQuery*>(h);
  FmArb* base = s->parent.get();
  Key k{int(b.scope), trim(b.app.data(), 3), trim(b.name.data(), 30)};
  std::shared_ptr<Query> q;
  uint32_t keep_id = 0;
  std::shared_ptr<Query> source;
  auto it = e.active.find(k);
  if (it != e.active.end() && it->second->file_id != file_ident(base)) {
    // Another file under the same query name: a query of its own.
    e.active.erase(it);
    it = e.active.end();
  }
  if (it != e.active.end()) {
    q = it->second;
    // The query lives in its caller's scope and may outlive the handle it
    // was built over (each reading process opens the file in its own
    // scope): it reads on through this stream's handle of the same file.
    q->base = base;
    PbQueryDef now;
    now.criteria_only = true;
    switch (b.reuse) {
      case 1:
        // Criteria changed since the build: a new query under a new id.
        if (!define(b, &now) || now.criteria != q->criteria) {
          e.active.erase(it);
          q = nullptr;
        }
        break;
      case 2:
        // The new query takes the old one's id and so its files' names:
        // the old one is shut down first.
        keep_id = q->id;
        shut_down(*q);
        e.active.erase(it);
        q = nullptr;
        break;
      case 3:
        // The old query is no longer found but lives with its scope; the
        // new one chooses among its records, in its order.
        source = q;
        e.hidden.emplace(int(b.scope), q);
        e.active.erase(it);
        q = nullptr;
        break;
      default:
        break;
    }
  }
  if (!q) {
    q = build(b, base, constraints, keep_id, source);
    if (!q) return fail(req, FM_ST_SYS), nullptr;
    e.active[k] = q;
  }
  auto c = std::make_unique<Cursor>();
  c->q = q;
  c->events = b.level_events != 0 && !q->tagged;
  c->pcf = FM_ATTACH(base, static_cast<FmScb*>(nullptr), q->scope);
  if (!c->pcf) return fail(req, base->status ? uint32_t(base->status) : FM_ST_SYS), nullptr;
  c->pcf->key_no = s->key_no;
  c->own = std::make_unique<uint8_t[]>(std::max<size_t>(base->file->fdb.rec_len, 1));
  new_reader(c.get());
  ++q->cursors;
  e.cursors[s] = std::move(c);
  fm_set_handlers(s, table());
  s->rid_len = q->id_len;
  return q.get();
}

void clr_scope(int depth) { pb_clr_scope(depth); }

}  // namespace

void pb_set_define(PbDefine define) { E().define = std::move(define); }
void pb_set_yield(std::function<void()> yield) { E().yield = std::move(yield); }
void pb_set_progress(std::function<void(const char* text)> show) { E().show = std::move(show); }

int pb_init() {
  static bool hooked = false;
  fm_register_handlers(table());
  fm_set_query_attach(pb_attach);
  E().show_progress = std::getenv("QUVO_SHOW_PROGRESS") != nullptr;
  if (!hooked) ut_on_release(Release::Query, clr_scope);
  hooked = true;
  return 1;
}

void pb_clr_scope(int scope) {
  Engine& e = E();
  // The pointer files go with their scope: first the streams' readers of
  // them, then the sorts that hold them.
  for (auto& [s, c] : e.cursors)
    if (c->q->scope == scope) shut_down(*c->q);
  for (auto& [k, q] : e.active)
    if (q->scope == scope) shut_down(*q);
  for (auto [it, end] = e.hidden.equal_range(scope); it != end; ++it) shut_down(*it->second);
  for (auto it = e.active.begin(); it != e.active.end();)
    it = std::get<0>(it->first) == scope ? e.active.erase(it) : std::next(it);
  e.hidden.erase(scope);
  // Streams still reading a query of the scope lose their handle on the file.
  for (auto& [s, c] : e.cursors)
    if (c->q->scope == scope && c->pcf) {
      fm_detach(c->pcf);
      c->pcf = nullptr;
    }
}

int pb_counts(int scope, const char* app, const char* name, PbCounts* out) {
  auto it = E().active.find(Key{scope, trim(app, std::strlen(app)), trim(name, std::strlen(name))});
  if (it == E().active.end()) return 0;
  const Query& q = *it->second;
  *out = PbCounts{q.id, q.executed, q.selected, q.refused, q.delivered, q.cursors};
  return 1;
}

size_t pb_active(int scope) {
  size_t n = E().hidden.count(scope);
  for (auto& [k, q] : E().active) n += std::get<0>(k) == scope;
  return n;
}

int pb_get_info(FmArb* stream, PbInfo* out) {
  Cursor* c = stream ? cursor_of(stream) : nullptr;
  if (!c) return stream ? fail(stream, FM_ST_SYS) : 0;
  if (!execute(*c->q)) return fail(stream, c->q->status);
  out->selected = c->q->selected;
  out->area17 = c->q->info;
  return 1;
}

void pb_cleanup(int scope, const char* app, const char* name) {
  Engine& e = E();
  auto it = e.active.find(Key{scope, trim(app, std::strlen(app)), trim(name, std::strlen(name))});
  if (it == e.active.end()) return;
  std::shared_ptr<Query> q = it->second;
  e.active.erase(it);
  shut_down(*q);
}
