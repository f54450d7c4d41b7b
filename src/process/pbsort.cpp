// The query engine: sort keys, and the sort and polyphase merge of
// selected elements into pointer records. See pbutil.h.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pbutil.h"

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

constexpr uint32_t kEnd = 200360;        // no further record
constexpr uint32_t kBadRun = 200650;     // a work file that is not as written
constexpr uint32_t kRunMark = 0x1BADB0B; // start of a run
constexpr size_t kBlock = 32000;         // bytes of elements per work-file record

bool is_date(int t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }

// Big-endian bytes of an unsigned 128-bit value, the low n bytes.
void put_be(u128 v, uint8_t* out, int n) {
  for (int i = n - 1; i >= 0; --i) {
    out[i] = uint8_t(v);
    v >>= 8;
  }
}

// A decimal value in order-preserving bytes (11): a class byte (1
// negative, 2 zero, 3 positive), the position of the decimal point after
// the first significant digit (biased by 128), and the significant digits
// as nibbles, trailing zeros dropped and zero-padded; negatives
// complemented after the class byte. Values equal whatever their scale
// give equal bytes.
void put_decimal(i128 v, int scale, uint8_t* out) {
  std::memset(out, 0, 10);
  if (v == 0) {
    out[0] = 2;
    return;
  }
  bool neg = v < 0;
  u128 m = neg ? u128(-(v + 1)) + 1 : u128(v);
  char d[40];
  int n = 0;
  while (m) {
    d[n++] = char(m % 10);
    m /= 10;
  }
  std::reverse(d, d + n);
  int e = n - scale;
  while (n > 1 && d[n - 1] == 0) --n;
  out[0] = neg ? 1 : 3;
  out[1] = uint8_t(e + 128);
  for (int i = 0; i < n && i < 16; ++i) out[2 + i / 2] |= uint8_t(d[i] << (i % 2 ? 0 : 4));
  if (neg)
    for (int i = 1; i < 10; ++i) out[i] = uint8_t(~out[i]);
}

}  // namespace

int pb_key_bytes(int type, int len) {
  switch (type) {
    case 0: return 4;
    case 1: case 2: case 13: return len;
    case 11: return 1;
    case 5: case 8: return len + 1;
    // Scaled numerics: their digits with their own scale, read as one
    // decimal value (the raw sign nibble would order negatives last).
    case 12: return 11;
    default: return is_date(type) ? 8 : 0;
  }
}

int pb_key_layout(PbKeyDef* def) {
  def->fields.erase(std::remove_if(def->fields.begin(), def->fields.end(),
                                   [](const PbKeyField& f) { return f.type == 0; }),
                    def->fields.end());
  PbKeyField ord;
  ord.type = 0;
  ord.level = 0;
  def->fields.push_back(ord);
  uint32_t at = 0;
  def->levels = 0;
  def->level_of.clear();
  for (PbKeyField& f : def->fields) {
    int n = pb_key_bytes(f.type, f.len);
    if (n <= 0 || at + uint32_t(n) > 0xFFFFu) return 0;  // (its length is 16 bits)
    f.key_off = uint16_t(at);
    f.key_len = uint16_t(n);
    at += uint32_t(n);
    def->level_of.insert(def->level_of.end(), size_t(n), f.level);
    if (f.level > def->levels) def->levels = f.level;
  }
  def->key_len = uint16_t(at);
  return 1;
}

void pb_enc_key(const PbKeyDef& def, const uint8_t* record, uint32_t ordinal, uint8_t* key) {
  for (const PbKeyField& f : def.fields) {
    uint8_t* k = key + f.key_off;
    const uint8_t* v = record + f.offset;
    bool null = !f.null_value.empty() && f.null_value.size() == f.len && std::memcmp(v, f.null_value.data(), f.len) == 0;
    switch (f.type) {
      case 0:
        put_be(ordinal, k, 4);
        break;
      case 1: case 2: case 13: {
        bool blank = true;
        for (int i = 0; i < f.len && blank; ++i) blank = v[i] == ' ';
        if (blank) std::memset(k, 0, f.len);
        else if (def.collate)
          for (int i = 0; i < f.len; ++i) k[i] = def.collate[v[i]];
        else std::memcpy(k, v, f.len);
        break;
      }
      case 11:
        k[0] = v[0];
        break;
      case 5: case 8: case 12: {
        std::memset(k, 0, f.key_len);
        CvNum n{};
        if (null) break;  // flag 0, zeros: before every value
        if (!cv_num_get(f.type, v, f.len, f.decimals, f.is_signed, &n)) {
          // Not a number: after the null value, before every number.
          std::memset(k + 1, 0, f.key_len - 1);
          k[0] = 0;
          k[f.key_len - 1] = 1;
          break;
        }
        k[0] = 2;
        if (f.type == 12) {
          put_decimal(n.value, n.scale, k + 1);
          break;
        }
        int bytes = f.key_len - 1;
        u128 bias = (f.type == 8 || f.is_signed) ? u128(1) << (bytes * 8 - 1) : 0;
        put_be(u128(n.value) + bias, k + 1, bytes);
        break;
      }
      default: {
        if (!is_date(f.type)) {
          std::memset(k, 0, f.key_len);
          break;
        }
        // The internal standard date, century first: null (the high date)
        // first, then dates that do not read, then every date in order.
        DateDesc d = f.date;
        d.value = const_cast<uint8_t*>(v);
        d.len = f.len;
        std::memset(k, 0, 8);
        int ok = cv_ntos_date(&d);
        bool high = true;
        for (uint8_t b : d.date) high = high && b == 0xFF;
        if (null || (ok && high)) break;
        if (!ok || d.date[0] >= 0x80) {
          k[0] = 1;
          break;
        }
        k[0] = uint8_t(d.date[0] + 2);
        std::memcpy(k + 1, d.date + 1, 7);
        break;
      }
    }
    if (f.order == '-')
      for (int i = 0; i < f.key_len; ++i) k[i] = uint8_t(~k[i]);
  }
}

int pb_sort_field(const DElem& e, uint16_t occ, char order, uint8_t level, const char* app, const char* ver,
                  PbKeyField* out) {
  PbKeyField f;
  f.level = level;
  f.order = order == '-' ? '-' : '+';
  f.type = e.type == 2 ? 1 : uint8_t(e.type);
  if (!pb_key_bytes(f.type, e.length) || f.type == 0) return 0;
  // An occurrence the field does not have would sort on another's bytes.
  if (occ > std::max<uint16_t>(e.occurs, 1)) return 0;
  f.len = e.length;
  f.offset = uint32_t(e.offset) + uint32_t(occ ? occ - 1 : 0) * e.length;
  f.decimals = e.decimals;
  f.is_signed = e.sign == '1';
  if (is_date(f.type)) {
    f.date.type = f.type;
    f.date.len = f.len;
    f.date.high = e.digits ? e.digits : 8;
    f.date.low = e.decimals ? e.decimals : 1;
    f.date.julian = f.type == 3 || f.type == 6 || f.type == 9;
  }
  bool num = f.type == 5 || f.type == 8 || f.type == 12;
  if (num && !ut_is_all(e.null_value.data(), ' ', 33)) {
    // The null value in stored form, converted as the field converts.
    CvBlock blk;
    if (!cv_get_cnv(&blk, &e, app, ver)) return 0;
    char text[64];
    std::memset(text, ' ', sizeof text);
    std::memcpy(text, e.null_value.data(), 33);
    blk.item->ext_len = uint16_t(33);
    MmPool pool = mm_create_pool(nullptr, com.depth, 0);
    auto* buf = static_cast<char*>(MM_ALLOC(pool, sizeof text));
    std::memcpy(buf, text, sizeof text);
    cv_set_addr(&blk, nullptr, buf);
    int in_com = 0;
    int ok = cv_get_universal(&blk, 0, &in_com, pool);
    if (ok) {
      const uint8_t* v = blk.item->int_addr.get();
      f.null_value.assign(v, v + f.len);
    }
    mm_destroy_pool(pool);
    if (!ok) return 0;
  }
  *out = std::move(f);
  return 1;
}

int pb_cmpl_sort(const std::vector<PbQsort>& lines, const PbElements& elements, const char* app, const char* ver,
                 PbKeyDef* def) {
  def->fields.clear();
  uint8_t level = 0;
  for (const PbQsort& l : lines) {
    if (!l.seq || l.sorted[0] == '0') continue;
    std::vector<DElem> es = elements(l);
    if (es.empty()) continue;
    ++level;
    for (const DElem& e : es) {
      if (e.kind == 2 || e.kind == 3) continue;
      PbKeyField f;
      if (!pb_sort_field(e, es.size() == 1 ? uint16_t(l.occ) : uint16_t(1), l.order[0], level, app, ver, &f))
        return 0;
      def->fields.push_back(std::move(f));
    }
  }
  return pb_key_layout(def);
}

uint16_t pb_break_level(const PbKeyDef& def, const uint8_t* a, const uint8_t* b) {
  for (size_t i = 0; i < def.key_len; ++i)
    if (a[i] != b[i]) return def.level_of[i] ? def.level_of[i] : uint16_t(def.levels + 1);
  return uint16_t(def.levels + 1);
}

uint64_t pb_run_mem() {
  const char* e = std::getenv("QUVO_RUN_MEM");
  if (e && *e) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(e, &end, 10);
    if (end && *end == 0 && e[0] != '-') return v;
  }
  return 262143;
}

// ============================================================ sorting ==
namespace {

// One index entry of a run: the first four key bytes as a number, and the
// element's slot.
struct Entry {
  uint32_t prefix;
  uint32_t slot;
};
static_assert(sizeof(Entry) == 8);

uint32_t prefix_of(const uint8_t* key, uint16_t key_len) {
  uint8_t b[4] = {};
  std::memcpy(b, key, key_len < 4 ? key_len : 4);
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

// What a sort holds besides its runs: the blocks of the seven files, the
// read windows of the six work files and their bookkeeping, rounded up.
constexpr uint64_t kIoReserve = 1u << 20;

// A sequential work file read and written in blocks of elements, each run
// a header record followed by its blocks.
struct RunFile {
  FmFdb fdb{};
  FmArb* a = nullptr;
  uint8_t* buf = nullptr;         // arena block: kBlock + header room
  std::deque<uint64_t> runs;      // element counts; dummy runs are UINT64_MAX
  // reading
  size_t have = 0, at = 0;        // bytes in buf, next byte
  uint64_t left = 0;              // elements left in the run being read
};

struct RunHeader {
  rec::U32 count_lo;
  rec::U32 ordinal;
  rec::U32 mark;
  rec::U32 count_hi;
};
QV_RECORD(RunHeader, 16);

constexpr uint64_t kDummy = UINT64_MAX;

}  // namespace

struct PbSort::Impl {
  std::string app;
  int scope;
  uint32_t file_id;
  uint16_t key_len, id_len, elem_len;
  std::vector<uint8_t> level_of;
  uint16_t levels;
  uint32_t cap;
  MmPool pool = 0;

  // the run in memory
  std::unique_ptr<uint8_t[]> elems;
  std::unique_ptr<Entry[]> index;
  uint32_t count = 0;
  // the six work files, the distribution
  RunFile files[6];
  bool files_made = false;
  uint64_t written[5] = {}, target[5] = {1, 0, 0, 0, 0};  // runs per file, perfect distribution
  int cur = 0;
  uint32_t run_no = 0;
  // the result
  enum { kIn, kMemory, kFile, kDone } state = kIn;
  uint32_t pos = 0;               // memory: next entry
  uint16_t prev_after = 0;
  RunFile ptr;                    // the pointer file
  std::vector<uint8_t> ptr_rec;   // the pointer record delivered
  // pointer-file writing: the element before, its level before
  std::vector<uint8_t> pw_prev;
  bool pw_has = false;
  uint16_t pw_before = 0;
  size_t pw_fill = 0;

  uint16_t level(const uint8_t* x, const uint8_t* y) const {
    for (size_t i = 0; i < key_len; ++i)
      if (x[i] != y[i]) return level_of[i] ? level_of[i] : uint16_t(levels + 1);
    return uint16_t(levels + 1);
  }
  uint8_t* elem(uint32_t slot) const { return elems.get() + size_t(slot) * elem_len; }

  void sort_run() {
    for (uint32_t i = 0; i < count; ++i) index[i] = Entry{prefix_of(elem(i), key_len), i};
    const uint8_t* base = elems.get();
    size_t el = elem_len, rest = key_len > 4 ? key_len - 4u : 0;
    auto less = [=](const Entry& x, const Entry& y) {
      if (x.prefix != y.prefix) return x.prefix < y.prefix;
      return std::memcmp(base + size_t(x.slot) * el + 4, base + size_t(y.slot) * el + 4, rest) < 0;
    };
    // The entries go to the buckets of their first key byte in place (each
    // misplaced entry swapped into the next free place of its bucket), then
    // each bucket is sorted alone.
    Entry* ix = index.get();
    uint32_t start[257] = {}, next[256];
    for (uint32_t i = 0; i < count; ++i) ++start[(ix[i].prefix >> 24) + 1];
    for (int b = 0; b < 256; ++b) start[b + 1] += start[b];
    std::copy(start, start + 256, next);
    for (int b = 0; b < 256; ++b)
      while (next[b] < start[b + 1]) {
        Entry e = ix[next[b]];
        uint32_t d = e.prefix >> 24;
        if (d == uint32_t(b)) {
          ++next[b];
          continue;
        }
        std::swap(e, ix[next[d]++]);
        ix[next[b]] = e;
      }
    for (int b = 0; b < 256; ++b)
      if (start[b + 1] - start[b] > 1) std::sort(ix + start[b], ix + start[b + 1], less);
  }

  std::string name_of(uint32_t v) const {
    char n[16];
    std::snprintf(n, sizeof n, "%08X", unsigned(v));
    return n;
  }
  // A work file made afresh (a left-over one of the name is scratched).
  uint32_t make(RunFile* f, uint32_t id, int fclass) {
    INIT_FDB(&f->fdb, fclass, int(kBlock + 32), 1, nullptr, 0);
    INIT_TMP_PATH(&f->fdb, app.c_str(), "00", name_of(id).c_str(), scope);
    f->fdb.fclass = uint8_t(fclass);
    (void)FM_SCRATCH(&f->fdb, 0);
    if (!FM_CREATE(&f->fdb, scope, 0, FM_OPT_NO_SYSDIR, 15, 15)) return f->fdb.status ? uint32_t(f->fdb.status) : kBadRun;
    f->a = f->fdb.handle.get();
    if (!f->buf) f->buf = static_cast<uint8_t*>(MM_ALLOC(pool, kBlock + 32));
    f->have = f->at = 0;
    return 0;
  }
  uint32_t put(RunFile* f, const uint8_t* p, size_t n) {
    PROTO_FULL(f->a, 0, const_cast<uint8_t*>(p));
    f->a->rec_len = uint16_t(n);
    int ok = fm_write(f->a);
    f->a->rec_len = 0;
    return ok ? 0 : (f->a->status ? uint32_t(f->a->status) : kBadRun);
  }
  uint32_t flush(RunFile* f) {
    if (!f->have) return 0;
    uint32_t st = put(f, f->buf, f->have);
    f->have = 0;
    return st;
  }
  // Reads the next record of f into its buffer: its length, or 0 with *st.
  size_t get(RunFile* f, uint32_t* st) {
    PROTO_FULL(f->a, 0, f->buf);
    f->a->rec_len = uint16_t(kBlock + 32);
    int ok = fm_rdnxt(f->a);
    f->a->rec_len = 0;
    if (!ok) {
      *st = f->a->status == kEnd || !f->a->status ? kBadRun : uint32_t(f->a->status);
      return 0;
    }
    return f->a->len_read;
  }
  uint32_t rewind(RunFile* f) {
    PROTO_FULL(f->a, 0, f->buf);
    f->a->op = FM_OP_FIRST;
    int ok = fm_start(f->a);
    f->a->op = 0;
    f->have = f->at = 0;
    f->left = 0;
    return ok ? 0 : (f->a->status ? uint32_t(f->a->status) : kBadRun);
  }
  uint32_t truncate(RunFile* f) {
    f->a->op = 0;
    if (!fm_del_all(f->a)) return f->a->status ? uint32_t(f->a->status) : kBadRun;
    f->runs.clear();
    f->have = f->at = 0;
    f->left = 0;
    return 0;
  }

  uint32_t write_header(RunFile* f, uint64_t n) {
    uint8_t* h = static_cast<uint8_t*>(MM_ALLOC(pool, 16));
    RunHeader& r = rec::view<RunHeader>(h);
    r.count_lo = uint32_t(n);
    r.count_hi = uint32_t(n >> 32);
    r.ordinal = run_no++;
    r.mark = kRunMark;
    uint32_t st = put(f, h, 16);
    mm_free(h);
    f->runs.push_back(n);
    return st;
  }
  uint32_t append(RunFile* f, const uint8_t* e) {
    if (elem_len > kBlock) return FM_ST_TOO_LONG;  // (an element past a block goes to no work file)
    if (f->have + elem_len > kBlock) {
      if (uint32_t st = flush(f)) return st;
    }
    std::memcpy(f->buf + f->have, e, elem_len);
    f->have += elem_len;
    return 0;
  }

  // Starts reading the next run of f: its element count (dummy runs read
  // nothing). The header must be there and say what was written.
  uint32_t open_run(RunFile* f) {
    uint64_t n = f->runs.front();
    f->runs.pop_front();
    f->left = 0;
    if (n == kDummy) return 0;
    uint32_t st = 0;
    size_t got = get(f, &st);
    if (!got) return st;
    RunHeader& r = rec::view<RunHeader>(f->buf);
    if (got != 16 || r.mark != kRunMark || (uint64_t(r.count_hi) << 32 | r.count_lo) != n) return kBadRun;
    f->left = n;
    f->have = f->at = 0;
    return 0;
  }
  // The next element of the run being read, or null at its end.
  const uint8_t* next_elem(RunFile* f, uint32_t* st) {
    if (!f->left) return nullptr;
    if (f->at >= f->have) {
      size_t got = get(f, st);
      if (!got) return nullptr;
      if (got % elem_len || got / elem_len > f->left) {
        *st = kBadRun;
        return nullptr;
      }
      f->have = got;
      f->at = 0;
    }
    const uint8_t* e = f->buf + f->at;
    f->at += elem_len;
    --f->left;
    return e;
  }

  // Writes the run in memory to the current distribution file.
  uint32_t spill() {
    if (!files_made) {
      for (int i = 0; i < 6; ++i)
        if (uint32_t st = make(&files[i], file_id + 1 + uint32_t(i), FM_CLASS_DISK)) return st;
      files_made = true;
    }
    // The file most short of its target takes the run; when none is, the
    // next perfect distribution is the target (only once a run comes that
    // needs it, so the last run leaves no dummy runs behind).
    for (int pass = 0;; ++pass) {
      int best = -1;
      uint64_t most = 0;
      for (int i = 0; i < 5; ++i)
        if (target[i] > written[i] && target[i] - written[i] > most) most = target[i] - written[i], best = i;
      if (best >= 0) {
        cur = best;
        break;
      }
      if (pass) return kBadRun;
      uint64_t a[5];
      std::copy(written, written + 5, a);
      target[4] = a[0];
      target[3] = a[1] + target[4];
      target[2] = a[2] + target[3];
      target[1] = a[3] + target[2];
      target[0] = a[4] + target[1];
    }
    sort_run();
    RunFile* f = &files[cur];
    if (uint32_t st = write_header(f, count)) return st;
    for (uint32_t i = 0; i < count; ++i)
      if (uint32_t st = append(f, elem(index[i].slot))) return st;
    if (uint32_t st = flush(f)) return st;
    ++written[cur];
    count = 0;
    return 0;
  }

  // Pointer records: the element before waits for its level after.
  uint32_t ptr_emit(const uint8_t* e, uint16_t before, uint16_t after) {
    size_t rl = size_t(id_len) + 6;
    if (ptr.have + rl > kBlock)
      if (uint32_t st = flush(&ptr)) return st;
    uint8_t* r = ptr.buf + ptr.have;
    rec::view<rec::U16>(r).set(before);
    rec::view<rec::U16>(r + 2).set(after);
    std::memcpy(r + 4, e + key_len, id_len);
    r[4 + id_len] = r[5 + id_len] = 0;
    ptr.have += rl;
    return 0;
  }
  uint32_t ptr_push(const uint8_t* e) {
    if (pw_has) {
      uint16_t l = level(pw_prev.data(), e);
      if (uint32_t st = ptr_emit(pw_prev.data(), pw_before, l)) return st;
      pw_before = l;
    }
    std::memcpy(pw_prev.data(), e, elem_len);
    pw_has = true;
    return 0;
  }
  uint32_t ptr_end() {
    if (pw_has)
      if (uint32_t st = ptr_emit(pw_prev.data(), pw_before, 0)) return st;
    return flush(&ptr);
  }

  // Merges the first run of every input file into `out` (a run file, or
  // the pointer file when out is null).
  uint32_t merge_one(const std::vector<int>& in, RunFile* out) {
    const uint8_t* head[6];
    int from[6];
    int k = 0;
    uint64_t total = 0;
    bool real = false;
    for (int i : in) {
      uint64_t n = files[i].runs.front();
      if (n != kDummy) total += n, real = true;
      if (uint32_t st = open_run(&files[i])) return st;
    }
    if (out) {
      if (!real) {
        out->runs.push_back(kDummy);
        return 0;
      }
      if (uint32_t st = write_header(out, total)) return st;
    }
    uint32_t st = 0;
    for (int i : in) {
      if (const uint8_t* e = next_elem(&files[i], &st)) head[k] = e, from[k++] = i;
      else if (st) return st;
    }
    while (k) {
      int m = 0;
      for (int j = 1; j < k; ++j)
        if (std::memcmp(head[j], head[m], key_len) < 0) m = j;
      st = out ? append(out, head[m]) : ptr_push(head[m]);
      if (st) return st;
      if (const uint8_t* e = next_elem(&files[from[m]], &st)) {
        head[m] = e;
      } else {
        if (st) return st;
        head[m] = head[k - 1];
        from[m] = from[k - 1];
        --k;
      }
    }
    return out ? flush(out) : 0;
  }

  // The polyphase merge: files with dummy runs first take them at the
  // front; each phase merges into the empty file until an input empties,
  // which takes the output's place; when every input holds one run, the
  // last pass writes the pointer file.
  uint32_t merge(PbSortStats* stats) {
    for (int i = 0; i < 5; ++i)
      for (uint64_t d = written[i]; d < target[i]; ++d) files[i].runs.push_front(kDummy);
    int out = 5;
    for (int i = 0; i < 6; ++i)
      if (uint32_t st = rewind(&files[i])) return st;
    for (;;) {
      std::vector<int> in;
      bool last = true;
      for (int i = 0; i < 6; ++i) {
        if (i == out || files[i].runs.empty()) continue;
        in.push_back(i);
        if (files[i].runs.size() != 1) last = false;
      }
      if (last) {
        if (uint32_t st = make(&ptr, file_id, FM_CLASS_DISK)) return st;
        pw_prev.assign(elem_len, 0);
        while (!in.empty()) {
          // one run each: one merge
          if (uint32_t st = merge_one(in, nullptr)) return st;
          in.clear();
        }
        if (uint32_t st = ptr_end()) return st;
        for (RunFile& f : files) {
          (void)FM_CLOSE(f.a, FM_CL_SCRATCH);
          f.a = nullptr;
        }
        files_made = false;
        return rewind(&ptr);
      }
      if (in.size() < 2) return kBadRun;
      size_t phase = SIZE_MAX;
      for (int i : in) phase = std::min(phase, files[i].runs.size());
      for (size_t r = 0; r < phase; ++r)
        if (uint32_t st = merge_one(in, &files[out])) return st;
      ++stats->passes;
      // The output is read from its start; an input that emptied is the
      // next output.
      if (uint32_t st = rewind(&files[out])) return st;
      int next = -1;
      for (int i : in)
        if (files[i].runs.empty()) {
          next = i;
          break;
        }
      if (next < 0) return kBadRun;
      if (uint32_t st = truncate(&files[next])) return st;
      out = next;
    }
  }
};

uint32_t PbSort::capacity(uint64_t run_mem, uint16_t elem_len) {
  // The work files' blocks come out of the run memory too (of a run memory
  // that holds them eight times over).
  uint64_t io = run_mem >= 8 * kIoReserve ? kIoReserve : 0;
  uint64_t n = (run_mem - io) / (uint64_t(elem_len) + sizeof(Entry));
  if (n < 1) n = 1;
  if (n > 0x7FFFFFFFu) n = 0x7FFFFFFFu;
  return uint32_t(n);
}

PbSort::PbSort(const char* app, int scope, uint32_t file_id, uint16_t key_len, uint16_t id_len,
               std::vector<uint8_t> level_of, uint16_t levels, uint64_t run_mem)
    : p_(new Impl) {
  Impl& p = *p_;
  p.app = app;
  p.scope = scope;
  p.file_id = file_id;
  p.key_len = key_len;
  p.id_len = id_len;
  p.elem_len = uint16_t(key_len + id_len);
  if (uint32_t(key_len) + id_len > 0xFFFFu) {  // (an element's length is 16 bits)
    p.state = Impl::kDone;
    status_ = FM_ST_TOO_LONG;
  }
  p.level_of = std::move(level_of);
  p.level_of.resize(key_len, 0);
  p.levels = levels;
  p.cap = capacity(run_mem, p.elem_len);
  stats_.capacity = p.cap;
  p.pool = mm_create_pool(nullptr, scope, 0);
}

PbSort::~PbSort() {
  Impl& p = *p_;
  for (RunFile& f : p.files)
    if (f.a) (void)FM_CLOSE(f.a, FM_CL_SCRATCH);
  if (p.ptr.a) (void)FM_CLOSE(p.ptr.a, FM_CL_SCRATCH);
  mm_destroy_pool(p.pool);
}

int PbSort::add(const uint8_t* element) {
  Impl& p = *p_;
  if (p.state != Impl::kIn) return 0;
  if (!p.elems) {
    p.elems.reset(new uint8_t[size_t(p.cap) * p.elem_len]);
    p.index.reset(new Entry[p.cap]);
  }
  if (p.count == p.cap) {
    if ((status_ = p.spill())) return 0;
    ++stats_.runs;
  }
  std::memcpy(p.elem(p.count++), element, p.elem_len);
  ++stats_.elements;
  return 1;
}

int PbSort::finish() {
  Impl& p = *p_;
  if (p.state != Impl::kIn) return 0;
  if (!stats_.runs) {
    if (p.count) p.sort_run();
    p.state = Impl::kMemory;
    return 1;
  }
  if (p.count) {
    if ((status_ = p.spill())) return 0;
    ++stats_.runs;
  }
  p.elems.reset();
  p.index.reset();
  if ((status_ = p.merge(&stats_))) return 0;
  p.state = Impl::kFile;
  return 1;
}

int PbSort::next(PbPtr* out) {
  Impl& p = *p_;
  if (p.state == Impl::kMemory) {
    if (p.pos >= p.count) {
      status_ = kEnd;
      return 0;
    }
    const uint8_t* e = p.elem(p.index[p.pos].slot);
    out->before = p.prev_after;
    out->after = p.pos + 1 < p.count ? p.level(e, p.elem(p.index[p.pos + 1].slot)) : 0;
    p.prev_after = out->after;
    out->id = e + p.key_len;
    ++p.pos;
    return 1;
  }
  if (p.state != Impl::kFile) {
    status_ = kEnd;
    return 0;
  }
  size_t rl = size_t(p.id_len) + 6;
  if (p.ptr.at >= p.ptr.have) {
    uint32_t st = 0;
    size_t got = p.get(&p.ptr, &st);
    if (!got) {
      status_ = p.ptr.a->status == kEnd ? kEnd : st;
      return 0;
    }
    if (got % rl) {
      status_ = kBadRun;
      return 0;
    }
    p.ptr.have = got;
    p.ptr.at = 0;
  }
  const uint8_t* r = p.ptr.buf + p.ptr.at;
  p.ptr.at += rl;
  out->before = rec::view<rec::U16>(r);
  out->after = rec::view<rec::U16>(r + 2);
  out->id = r + 4;
  return 1;
}

std::unique_ptr<PbSort::Reader> PbSort::reader() {
  Impl& p = *p_;
  if (p.state != Impl::kMemory && p.state != Impl::kFile) return nullptr;
  std::unique_ptr<Reader> r(new Reader(&p));
  if (p.state == Impl::kFile) {
    r->h_ = FM_ATTACH(p.ptr.a, static_cast<FmScb*>(nullptr), p.scope);
    if (!r->h_) {
      status_ = p.ptr.a->status ? uint32_t(p.ptr.a->status) : kBadRun;
      return nullptr;
    }
    r->buf_ = static_cast<uint8_t*>(MM_ALLOC(p.pool, kBlock + 32));
    uint32_t st = 0;
    if (!r->rewind(&st)) {
      status_ = st;
      return nullptr;
    }
  }
  return r;
}

PbSort::Reader::~Reader() {
  if (h_ && fm_is_handle(h_)) fm_detach(h_);
  if (buf_) mm_free(buf_);
}

int PbSort::Reader::rewind(uint32_t* status) {
  pos_ = 0;
  prev_after_ = 0;
  have_ = at_ = 0;
  if (!h_) return 1;
  PROTO_FULL(h_, 0, buf_);
  h_->op = FM_OP_FIRST;
  int ok = fm_start(h_);
  h_->op = 0;
  if (!ok) *status = h_->status ? uint32_t(h_->status) : kBadRun;
  return ok;
}

int PbSort::Reader::next(PbPtr* out, uint32_t* status) {
  Impl& p = *p_;
  if (!h_) {
    if (pos_ >= p.count) return (*status = kEnd), 0;
    const uint8_t* e = p.elem(p.index[pos_].slot);
    out->before = prev_after_;
    out->after = pos_ + 1 < p.count ? p.level(e, p.elem(p.index[pos_ + 1].slot)) : 0;
    prev_after_ = out->after;
    out->id = e + p.key_len;
    ++pos_;
    return 1;
  }
  size_t rl = size_t(p.id_len) + 6;
  if (at_ >= have_) {
    PROTO_FULL(h_, 0, buf_);
    h_->rec_len = uint16_t(kBlock + 32);
    int ok = fm_rdnxt(h_);
    h_->rec_len = 0;
    if (!ok) return (*status = h_->status == kEnd ? kEnd : h_->status ? uint32_t(h_->status) : kBadRun), 0;
    if (h_->len_read % rl) return (*status = kBadRun), 0;
    have_ = h_->len_read;
    at_ = 0;
  }
  const uint8_t* r = buf_ + at_;
  at_ += rl;
  out->before = rec::view<rec::U16>(r);
  out->after = rec::view<rec::U16>(r + 2);
  out->id = r + 4;
  return 1;
}

// ========================================================== read-next ==
int PbReader::next(PbEvent* ev, uint32_t* status) {
  for (;;) {
    switch (state_) {
      case 1:
      case 4: {
        PbPtr p;
        uint32_t st = 0;
        if (!next_ptr_(&p, &st)) {
          if (st != kPbEnd) {
            *status = st;
            return 0;
          }
          // No record follows: the levels still open end.
          kept_ = 0;
          state_ = (state_ == 4 && events_ && level_ > 0) ? 5 : 6;
          continue;
        }
        uint32_t r = read_(p.id);
        if (r == kPbGone) {
          if (state_ == 4 && p.after < kept_) {
            kept_ = p.after;
            if (events_) state_ = 5;
          }
          continue;
        }
        if (r != 0 && r != 200520 && r != 200530) {
          *status = r;
          return 0;
        }
        rec_status_ = r ? r : kPbRecord;
        id_ = p.id;
        if (state_ == 1) {
          level_ = 0;
          kept_ = p.after;
          state_ = events_ ? 2 : 3;
          continue;
        }
        uint16_t from = kept_;
        kept_ = p.after;
        if (!events_) {
          state_ = 3;
        } else if (from > levels_) {
          level_ = uint16_t(levels_ + 1);
          state_ = 3;
        } else {
          level_ = from;
          state_ = 2;
        }
        continue;
      }
      case 2:
        if (level_ <= levels_) {
          *ev = PbEvent{kPbLevelStart, level_, nullptr};
          ++level_;
          return 1;
        }
        state_ = 3;
        continue;
      case 3:
        *ev = PbEvent{rec_status_, events_ ? level_ : uint16_t(0), id_};
        state_ = events_ ? 5 : 4;
        return 1;
      case 5:
        if (level_ > kept_) {
          --level_;
          *ev = PbEvent{kPbLevelEnd, level_, nullptr};
          if (level_ == 0) state_ = 6;
          return 1;
        }
        state_ = 4;
        continue;
      default:
        *status = kPbEnd;
        return 0;
    }
  }
}
