// Statement checking against the dictionary and the token conversion: see
// se_valid.h.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <memory>
#include <unordered_map>
#include <vector>

#include "design/se_valid.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "language/ii.h"
#include "process/pb.h"

namespace {

constexpr char kMod[] = "SE3";
constexpr int kMaxApps = 8;
enum { kElem, kFile, kToken };

bool is_alpha(int t) { return t == 1 || t == 2 || t == 13; }
bool is_date(int t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }
bool is_num(int t) { return t == 5 || t == 8 || t == 12; }
bool is_token(const DElem& e) { return e.type == 5 && e.token_mark != 0; }

bool blank(const uint8_t* p, int n) {
  for (int i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

// "#<digits>", blank-padded: the number of a token kept without its record.
bool kept_number(const uint8_t* p, int n, long long* out) {
  if (n < 2 || p[0] != '#') return false;
  int i = 1;
  long long v = 0;
  if (p[i] < '0' || p[i] > '9') return false;
  for (; i < n && p[i] >= '0' && p[i] <= '9'; ++i) {
    v = v * 10 + (p[i] - '0');
    if (v > INT32_MAX) return false;
  }
  if (!blank(p + i, n - i)) return false;
  *out = v;
  return true;
}

}  // namespace

// ------------------------------------------------------------- SeDict --

// The fields read: application (3) and name (22) to the record, or none.
// An open-addressing table of the keys (the dictionary of one check holds
// some hundreds of fields at most, and each line asks for one to three),
// over records in chunks that never move: where a record is kept stays
// valid for the object's life. The last key found is tried first (the
// reader asks for a statement's first field twice in a row).
struct SeDict::Elems {
  // The key: the name's 22 bytes in the first three words (its characters
  // 0-7, 6-13 and 14-21), the application's 3 in the fourth.
  struct Key {
    uint64_t w[4];
    bool operator==(const Key& o) const {
      return ((w[0] ^ o.w[0]) | (w[1] ^ o.w[1]) | (w[2] ^ o.w[2]) | (w[3] ^ o.w[3])) == 0;
    }
  };
  // A slot: the key, 1 + its record's number (0: empty), whether the field
  // was found and whether it is a token field (so that the questions most
  // asked are answered from the slot, without the record).
  struct Slot {
    Key key;
    uint32_t got;
    bool found;
    bool token;
  };
  static constexpr size_t kChunk = 64;
  std::vector<std::unique_ptr<DElem[]>> chunks;
  size_t count = 0;
  std::vector<Slot> slots = std::vector<Slot>(64, Slot{});
  const Slot* last = nullptr;

  // (Read from the bytes in words, each from the one store that wrote it:
  // see copy_operand, se3.cpp.)
  static Key key_of(const char* app, const char* name) {
    Key k;
    std::memcpy(&k.w[0], name, 8);
    std::memcpy(&k.w[1], name + 6, 8);
    std::memcpy(&k.w[2], name + 14, 8);
    k.w[3] = uint64_t(uint8_t(app[0])) | uint64_t(uint8_t(app[1])) << 8 | uint64_t(uint8_t(app[2])) << 16;
    return k;
  }
  static size_t hash(const Key& k) {
    uint64_t h = k.w[0] * 0x9E3779B97F4A7C15ull ^ k.w[1] * 0xBF58476D1CE4E5B9ull ^ k.w[2] * 0x94D049BB133111EBull ^
                 k.w[3] * 0xD6E8FEB86659FD93ull;
    return size_t(h ^ (h >> 32));
  }
  DElem& at(size_t i) { return chunks[i / kChunk][i % kChunk]; }
  const Slot* find(const Key& k) {
    if (last && last->key == k) return last;
    size_t mask = slots.size() - 1;
    for (size_t h = hash(k) & mask;; h = (h + 1) & mask) {
      const Slot& s = slots[h];
      if (!s.got) return nullptr;
      if (s.key == k) {
        last = &s;
        return &s;
      }
    }
  }
  // Remembers a field read (rec) or not found (null).
  const Slot* add(const Key& k, const DElem* rec) {
    if (2 * (count + 1) > slots.size()) {
      std::vector<Slot> grown(2 * slots.size(), Slot{});
      size_t mask = grown.size() - 1;
      for (const Slot& s : slots) {
        if (!s.got) continue;
        size_t h = hash(s.key) & mask;
        while (grown[h].got) h = (h + 1) & mask;
        grown[h] = s;
      }
      slots.swap(grown);
      last = nullptr;
    }
    if (count % kChunk == 0) chunks.emplace_back(new DElem[kChunk]);
    DElem& g = at(count);
    if (rec) std::memcpy(static_cast<void*>(&g), rec, sizeof(DElem));
    size_t mask = slots.size() - 1;
    size_t h = hash(k) & mask;
    while (slots[h].got) h = (h + 1) & mask;
    slots[h] = Slot{k, uint32_t(++count), rec != nullptr, rec && is_token(*rec)};
    return &slots[h];
  }
};

struct SeDict::Files {
  char app[3];
  FmArb* h[3];
  bool tried[3];
};

SeDict::SeDict(const char* app, const char* ver, bool memory) : memory_(memory) {
  std::memset(app_, ' ', 3);
  std::memcpy(app_, app, strnlen(app, 3));
  app_[3] = 0;
  std::memset(ver_, ' ', 2);
  std::memcpy(ver_, ver, strnlen(ver, 2));
  ver_[2] = 0;
  pool_ = mm_create_pool(nullptr, com.depth, 0);
  buf_ = static_cast<uint8_t*>(MM_ALLOC(pool_, 1024));
  apps_ = new Files[kMaxApps];
  napps_ = 0;
  elems_ = new Elems;
}

SeDict::~SeDict() {
  for (int i = 0; i < napps_; ++i)
    for (FmArb* h : apps_[i].h)
      if (h) (void)FM_CLOSE(h, 0);
  delete[] apps_;
  delete elems_;
  mm_destroy_pool(pool_);
}

const char* SeDict::ver_of(const char* app) const { return app[0] == '0' ? "00" : ver_; }

SeDict::Files* SeDict::files(const char* app) {
  for (int i = 0; i < napps_; ++i)
    if (std::memcmp(apps_[i].app, app, 3) == 0) return &apps_[i];
  if (napps_ == kMaxApps) {
    // Many applications in one check run: start over with the oldest's room.
    for (FmArb* h : apps_[0].h)
      if (h) (void)FM_CLOSE(h, 0);
    std::memmove(&apps_[0], &apps_[1], sizeof(Files) * (kMaxApps - 1));
    --napps_;
  }
  Files& f = apps_[napps_++];
  std::memcpy(f.app, app, 3);
  for (int k = 0; k < 3; ++k) {
    f.h[k] = nullptr;
    f.tried[k] = false;
  }
  return &f;
}

FmArb* SeDict::open(int which, const char* app) {
  Files* f = files(app);
  if (f->tried[which]) return f->h[which];
  f->tried[which] = true;
  char a[4] = {app[0], app[1], app[2], 0};
  const char* ver = ver_of(a);
  if (which == kElem && !memory_) return f->h[which] = ii_open_delem_fi(a, ver);
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  FmFdb fdb;
  if (which == kElem) INIT_DELEM_FDB(&fdb, kdb, sdb, a, ver);
  else if (which == kFile) INIT_DFI_FDB(&fdb, kdb, sdb, a, ver);
  else INIT_DTOKEN_FDB(&fdb, kdb, sdb, a, ver);
  if (memory_) fdb.fclass = FM_CLASS_MEMORY;
  int ok = FM_OPEN(&fdb, com.depth, FM_OPT_NO_SYSDIR, 1, 15);
  mm_destroy_pool(pool);
  return f->h[which] = ok ? fdb.handle.get() : nullptr;
}

int SeDict::read(FmArb* a, int key, uint8_t* rec, uint32_t* status) {
  PROTO_FULL(a, key, rec);
  if (fm_read(a)) return 1;
  if (status) *status = a->status;
  return a->status == FM_ST_NO_RECORD ? 0 : -2;
}

int SeDict::elem(const char* app, const char* name, DElem* out, uint32_t* status) {
  const DElem* at = nullptr;
  bool token;
  int r = elem_slot(app, name, &at, &token, status);
  if (r == 1 && out) *out = *at;
  return r;
}

int SeDict::elem_at(const char* app, const char* name, const DElem** out, uint32_t* status) {
  bool token;
  return elem_slot(app, name, out, &token, status);
}

int SeDict::elem_slot(const char* app, const char* name, const DElem** out, bool* token, uint32_t* status) {
  Elems::Key key = Elems::key_of(app, name);
  const Elems::Slot* s = elems_->find(key);
  if (!s) {
    FmArb* a = open(kElem, app);
    if (!a) {
      ++unkept_;
      return -1;
    }
    std::memset(buf_, ' ', sizeof(DElem));
    std::memcpy(buf_ + 5, name, 22);
    int r = read(a, 0, buf_, status);
    // (Failures are not remembered: the next read tries again.)
    if (r != 1 && r != 0) {
      ++unkept_;
      return r;
    }
    s = elems_->add(key, r == 1 ? reinterpret_cast<const DElem*>(buf_) : nullptr);
  }
  *token = s->token;
  if (!s->found) return 0;
  *out = &elems_->at(s->got - 1);
  return 1;
}

int SeDict::file(const char* app, const char* name, DFile* out, uint32_t* status) {
  ++unkept_;
  FmArb* a = open(kFile, app);
  if (!a) return -1;
  std::memset(buf_, ' ', sizeof(DFile));
  std::memcpy(buf_, name, 8);
  int r = read(a, 0, buf_, status);
  if (r == 1 && out) std::memcpy(static_cast<void*>(out), buf_, sizeof(DFile));
  return r;
}

int SeDict::token_by_number(const char* app, const DElem& e, int32_t number, CvTokenRec* out, uint32_t* status) {
  ++unkept_;
  FmArb* a = open(kToken, app);
  if (!a) return -1;
  auto& t = rec::view<CvTokenRec>(buf_);
  std::memset(buf_, ' ', sizeof(CvTokenRec));
  t.cls = 0;
  t.group = e.domain;
  t.number = number;
  int r = read(a, 0, buf_, status);
  if (r == 1 && out) *out = t;
  return r;
}

int SeDict::token_by_name(const char* app, const DElem& e, const char* name, int len, CvTokenRec* out,
                          uint32_t* status) {
  ++unkept_;
  FmArb* a = open(kToken, app);
  if (!a) return -1;
  auto& t = rec::view<CvTokenRec>(buf_);
  std::memset(buf_, ' ', sizeof(CvTokenRec));
  t.cls = 0;
  t.group = e.domain;
  t.text.set(std::string_view(name, size_t(len)));
  int r = read(a, 1, buf_, status);
  if (r == 1 && out) *out = t;
  return r;
}

int SeDict::proc(const char* app, const char* name, int type) {
  ++unkept_;
  char a[4] = {app[0], app[1], app[2], 0};
  char n[31];
  std::memcpy(n, name, 30);
  n[30] = 0;
  return pb_get_dproc(a, n, ver_of(a), type, nullptr, memory_ ? kPbMemory : 0);
}

// ---------------------------------------------------------- the checks --

namespace {

struct Ctx {
  SeCheck& c;
  SeDict& d;
  uint8_t* ops;
  int col(int i) const { return se_entry_col(c.run[i]); }
  void err(int i, std::string why = {}) {
    if (!c.err_col || col(i) < c.err_col) {
      c.err_col = col(i);
      c.why = std::move(why);
    }
  }
  // An operand's text, trailing blanks cut.
  std::string text(int i) const {
    std::string t(at(i), c.run[i].len);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
  }
  std::string no_field(int a, int f) const { return "no field " + text(f) + " in " + text(a); }
  void warn(int i, bool file) {
    if (!c.warn_col) {
      c.warn_col = col(i);
      c.warn_file = file;
    }
  }
  bool given(int i) const { return i >= 0 && c.status[i] == kSeStGiven; }
  const char* at(int i) const { return reinterpret_cast<const char*>(ops + c.run[i].offset); }
  // The application entry of an operand: the nearest kind-2 entry before it.
  int app_of(int i) const {
    for (int a = i - 1; a >= 0; --a)
      if (c.run[a].kind == kSeApp) return a;
    return -1;
  }
  // The field of (app a, field f) and its occurrence o: 1 found (in its
  // application or, moved there, in "0LA"), 0 missing, -1 no dictionary.
  int lookup(int a, int f, int o, const DElem** found) {
    int r = d.elem_at(at(a), at(f), found);
    if (r == -1) {
      warn(a, false);
      return -1;
    }
    if (r != 1) {
      if (std::memcmp(at(a), "0LA", 3) == 0 || d.elem_at("0LA", at(f), found) != 1) return 0;
      std::memcpy(ops + c.run[a].offset, "0LA", 3);
      c.changed = true;
    }
    if (o >= 0 && given(o)) {
      const SeOcc& occ = rec::view<SeOcc>(ops + c.run[o].offset);
      int count = (*found)->occurs > 0 ? (*found)->occurs : 1;
      if (occ.type == kOccNumber && occ.num() > count)
        err(o, text(f) + " has " + std::to_string(count) + " occurrence(s)");
    }
    return 1;
  }
};

bool file_verb(int v) {
  switch (v) {
    case 6: case 8: case 15: case 22: case 26: case 30: case 33: case 39: case 51: case 59: case 60:
    case 64: case 67: case 68: case 84: case kVerbPutAttr: case kVerbMoveAttr:
      return true;
    default:
      return false;
  }
}
bool key_verb(int v) { return v == kVerbBegRead || v == kVerbSelect || v == kVerbRead || v == kVerbReadNext; }

}  // namespace

namespace {

// The entries the checks look at: the first two fields and occurrences, the
// (last) area kind, arithmetic operator and process name; -1 none.
struct Roles {
  int fields[2] = {-1, -1}, occs[2] = {-1, -1}, area = -1, op = -1, proc = -1;
};

Roles roles_of(const XmeEntry* run, int n) {
  Roles r;
  int nf = 0, no = 0;
  for (int i = 0; i < n; ++i) {
    switch (run[i].kind) {
      case kSeField: if (nf < 2) r.fields[nf++] = i; break;
      case kSeOcc: if (no < 2) r.occs[no++] = i; break;
      case kSeArea: case kSeCommArea: r.area = i; break;
      case kSeArith: r.op = i; break;
      case kSeProc: r.proc = i; break;
      default: break;
    }
  }
  return r;
}

// Those of the verb's own run, found once per verb; of another run, found
// for the call.
Roles roles(const SeCheck& c) {
  static const auto table = [] {
    std::array<Roles, kSeVerbs> t{};
    for (int v = 0; v < kSeVerbs; ++v) {
      int n = 0;
      const XmeEntry* run = xme_run(v, &n);
      t[size_t(v)] = roles_of(run, n);
    }
    return t;
  }();
  int n = 0;
  if (c.verb >= 0 && c.verb < kSeVerbs && xme_run(c.verb, &n) == c.run && n == c.n) return table[size_t(c.verb)];
  return roles_of(c.run, c.n);
}

}  // namespace

int SeDictValidator::validate(SeCheck& c) {
  Ctx x{c, dict_, c.stmt->ops.data()};
  const int v = c.verb;
  const Roles r = roles(c);
  const int* fields = r.fields;
  const int* occs = r.occs;
  const int area = r.area, op = r.op, proc = r.proc;

  // 1. The file of the file verbs.
  int org = 0;
  if (file_verb(v) && c.file_entry >= 0 && x.given(c.file_entry)) {
    int fi = c.file_entry, a = x.app_of(fi);
    if (a >= 0 && x.given(a)) {
      DFile f;
      int r = dict_.file(x.at(a), x.at(fi), &f);
      if (r == -1) x.warn(a, false);
      else if (r == 0) x.warn(fi, true);
      else if (r == 1) {
        org = f.org;
        if (v == kVerbBegAt && org == FM_ORG_SINGLE) x.warn(fi, true);
        if (key_verb(v)) {
          int k = fields[0];
          if (org == FM_ORG_PLAIN) {
            if (v == kVerbReadNext ? x.given(k) : !x.given(k)) x.warn(k, false);
          } else if (org == FM_ORG_SINGLE) {
            if (x.given(k)) x.err(k);
          } else {
            DElem e;
            if (!x.given(k) || dict_.elem(x.at(a), x.at(k), &e) != 1 || e.key_kind == 255) x.err(k);
          }
        }
      }
    }
  }

  // 3. COPY copies a Subroutine.
  if (v == kVerbCopy && proc >= 0 && x.given(proc)) {
    int a = x.app_of(proc);
    if (a >= 0 && x.given(a) && !dict_.proc(x.at(a), x.at(proc), 6))
      x.err(proc, "no Subroutine " + x.text(proc) + " in " + x.text(a));
  }

  // 2, 4-8. The fields.
  int f1 = fields[0];
  if (key_verb(v) || f1 < 0 || !x.given(f1)) return c.err_col ? 0 : 1;
  if ((v == kVerbPass || v == kVerbReceive || v == kVerbVerify) && area >= 0 && x.ops[c.run[area].offset] != 1)
    return c.err_col ? 0 : 1;
  int a1 = x.app_of(f1);
  if (a1 < 0 || !x.given(a1)) return c.err_col ? 0 : 1;
  const DElem* p1 = nullptr;
  int r1 = x.lookup(a1, f1, occs[0], &p1);
  if (r1 == 0) {
    bool not_a_field_ok = (v == kVerbStore || v == kVerbRestore) && area >= 0 &&
                          x.ops[c.run[area].offset] != 1 && x.ops[c.run[area].offset] != 7;
    if (!not_a_field_ok) x.err(f1, x.no_field(a1, f1));
    return c.err_col ? 0 : 1;
  }
  if (r1 != 1) return c.err_col ? 0 : 1;
  const DElem& e1 = *p1;   // (where the dictionary object keeps it)
  if (v == kVerbSet && std::memcmp(x.at(a1), "0LA", 3) == 0 && e1.name == "MODE") x.err(f1);
  int t1 = e1.type;
  bool ok = true;
  const char* need = "";
  switch (v) {
    case kVerbSetDate: case kVerbDateAdd: case kVerbDateBtw: ok = is_date(t1), need = "a date field"; break;
    case kVerbCompute: case kVerbSetTot: case kVerbTimeout: case kVerbTotal:
      ok = is_num(t1), need = "a numeric field";
      break;
    case kVerbReturn: ok = t1 == 11, need = "a logic field"; break;
    case kVerbSetTemp: case kVerbCall: case kVerbPrint: case kVerbRun: case kVerbSetDay: case kVerbSetMnth:
      ok = is_alpha(t1), need = "an alpha field";
      break;
    case kVerbAppend: ok = is_alpha(t1) || t1 == 3 || t1 == 4, need = "an alpha or text-date field"; break;
    case kVerbCnvBin:
      ok = (is_alpha(t1) && e1.length >= 1 && e1.length <= 4) || is_num(t1);
      need = "an alpha field of 1-4 characters or a numeric field";
      break;
    case kVerbBegAt:
      ok = org != FM_ORG_PLAIN || t1 == 5 || t1 == 8 || t1 == 11 || t1 == 12;
      need = "a numeric or logic field for a plain file";
      break;
    default: break;
  }
  if (!ok) {
    x.err(f1, std::string(se_builtin_verb(v)) + " needs " + need);
    return 0;
  }

  // The second operand: a field, or a literal.
  int f2 = fields[1];
  if (f2 < 0) return c.err_col ? 0 : 1;
  int a2 = x.app_of(f2);
  if (a2 == a1) a2 = -1;
  if (a2 >= 0 && x.given(a2)) {
    if (!x.given(f2)) return c.err_col ? 0 : 1;
    const DElem* p2 = nullptr;
    int r2 = x.lookup(a2, f2, occs[1], &p2);
    if (r2 == 0) x.err(f2, x.no_field(a2, f2));
    if (r2 != 1) return c.err_col ? 0 : 1;
    const DElem& e2 = *p2;
    int t2 = e2.type;
    bool flag = op >= 0 && (x.ops[c.run[op].offset] == 'P' || x.ops[c.run[op].offset] == 'M');
    switch (v) {
      case kVerbDateAdd: ok = is_num(t2); break;
      case kVerbDateBtw: ok = is_date(t2); break;
      case kVerbCompute: case kVerbTotal: ok = is_num(t2) || (flag && is_alpha(t2)); break;
      case kVerbSetTot: ok = is_num(t2); break;
      case kVerbCnvBin:
        ok = is_alpha(t1) ? is_num(t2) : (is_alpha(t2) && e2.length >= 1 && e2.length <= 4);
        break;
      case kVerbCnvText: ok = is_alpha(t1) || is_alpha(t2); break;
      case kVerbIf: case kVerbAnd: case kVerbOr: ok = t1 == t2 || (is_num(t1) && is_num(t2)); break;
      default: break;
    }
    if (!ok) {
      x.err(f2);
      c.second_col = x.col(f1);
    }
    return c.err_col ? 0 : 1;
  }
  // A literal: no occurrence; a token name for a token field, else a value
  // the first field's conversion takes.
  if (!x.given(f2)) return c.err_col ? 0 : 1;
  if (occs[1] >= 0 && x.given(occs[1])) x.err(occs[1]);
  const uint8_t* lit = x.ops + c.run[f2].offset;
  if (is_token(e1)) {
    long long n;
    if (!kept_number(lit, 22, &n)) {
      int r = dict_.token_by_name(x.at(a1), e1, reinterpret_cast<const char*>(lit), 22, nullptr);
      if (r == -1) {
        std::snprintf(ut_dbg, sizeof ut_dbg, "validate() - fm__open failed");
        os_sys_err(kMod, __LINE__);
      }
      if (r != 1) x.err(f2);
    }
  } else if (!converts(e1, v, x.at(a1), lit)) {
    // A date is written as its digits, two a unit from the century down,
    // whatever the field's mask shows.
    std::string why = "value not valid for " + x.text(f1);
    if (is_date(e1.type) && v != kVerbDateAdd) why += " (a date is written as its digits, 2000-01-31 as 20000131)";
    x.err(f2, why);
  }
  return c.err_col ? 0 : 1;
}

// The literals seen and each field's conversion. A literal's key: its 22
// bytes, the field's record (where the dictionary object keeps it, which
// names the application and field) and whether DATE ADD reads it (as a
// number of days, whatever the field). The conversions run against one
// stored value and one display text in the arena, made once.
struct SeDictValidator::Literals {
  // The key: the literal's 22 bytes in three words (its characters 0-7,
  // 6-13 and 14-21), the field's record and whether DATE ADD reads it.
  struct Entry {
    uint64_t w[3];
    const DElem* elem;
    uint8_t date_add;
    uint8_t state;         // 1 refused, 2 converts
  };
  // The entries in the order seen; the table's slots each hold the high half
  // of an entry's hash and 1 + its index (0: empty), so that a probe reads
  // an entry only when it may be the one (and the table stays small).
  std::vector<Entry> entries;
  std::vector<uint64_t> slots = std::vector<uint64_t>(4096, 0);

  // (Read from the bytes in words, each from the one store that wrote it:
  // see copy_operand, se3.cpp.)
  static Entry key_of(const uint8_t* lit, bool date_add, const DElem* elem) {
    Entry k;
    std::memcpy(&k.w[0], lit, 8);
    std::memcpy(&k.w[1], lit + 6, 8);
    std::memcpy(&k.w[2], lit + 14, 8);
    k.elem = elem;
    k.date_add = date_add;
    k.state = 0;
    return k;
  }
  static uint64_t hash(const Entry& e) {
    uint64_t h = e.w[0] * 0x9E3779B97F4A7C15ull ^ e.w[1] * 0xBF58476D1CE4E5B9ull ^ e.w[2] * 0x94D049BB133111EBull ^
                 (reinterpret_cast<uintptr_t>(e.elem) + e.date_add) * 0xD6E8FEB86659FD93ull;
    return h ^ (h >> 32);
  }
  static bool same(const Entry& a, const Entry& b) {
    return ((a.w[0] ^ b.w[0]) | (a.w[1] ^ b.w[1]) | (a.w[2] ^ b.w[2])) == 0 && a.elem == b.elem &&
           a.date_add == b.date_add;
  }
  // The entry of the key, or null with *slot the empty slot where it goes.
  const Entry* find(const Entry& k, uint64_t h, size_t* slot) const {
    const size_t mask = slots.size() - 1;
    size_t i = h & mask;
    for (; slots[i]; i = (i + 1) & mask) {
      if ((slots[i] >> 32) != (h >> 32)) continue;
      const Entry& e = entries[uint32_t(slots[i]) - 1];
      if (same(e, k)) return &e;
    }
    *slot = i;
    return nullptr;
  }
  // Enters the key (with its state) at the empty slot find gave; the table
  // doubles at half full.
  void add(const Entry& k, uint64_t h, size_t slot) {
    entries.push_back(k);
    slots[slot] = (h >> 32) << 32 | entries.size();
    if (2 * entries.size() <= slots.size()) return;
    slots.assign(2 * slots.size(), 0);
    const size_t mask = slots.size() - 1;
    for (size_t i = 0; i < entries.size(); ++i) {
      const uint64_t g = hash(entries[i]);
      size_t j = g & mask;
      while (slots[j]) j = (j + 1) & mask;
      slots[j] = (g >> 32) << 32 | (i + 1);
    }
  }

  // A field's conversion (one for its own form, one for DATE ADD's).
  struct Conv {
    std::unique_ptr<CvBlock> block;   // (a block is not moved: its item is inside it)
    uint8_t* stored = nullptr;
    bool ok = false;
  };
  std::unordered_map<const DElem*, Conv> convs[2];
  MmPool pool;
  char* text;

  Literals() : pool(mm_create_pool(nullptr, com.depth, 0)), text(static_cast<char*>(MM_ALLOC(pool, 22))) {}
  ~Literals() { mm_destroy_pool(pool); }

  // Does the literal convert with the field's conversion?
  bool convert(const DElem& elem, bool date_add, const char* app, const char* ver, const uint8_t* lit) {
    Conv& c = convs[date_add][&elem];
    if (!c.block) {
      DElem num;
      const DElem* e = &elem;
      if (date_add) {
        INIT_NUM_DELEM(&num, 4, 10);
        e = &num;
      }
      c.block = std::make_unique<CvBlock>();
      char a[4] = {app[0], app[1], app[2], 0};
      c.ok = cv_get_cnv(c.block.get(), e, a, ver) != 0;
      if (c.ok) c.stored = static_cast<uint8_t*>(MM_ALLOC(pool, size_t(std::max<int>(c.block->item->int_len, 1))));
    }
    if (!c.ok) {
      std::snprintf(ut_dbg, sizeof ut_dbg, "cv_get_cnv() - bad delem");
      os_sys_err(kMod, __LINE__);
      return false;
    }
    std::memcpy(text, lit, 22);
    cv_set_addr(c.block.get(), c.stored, text);
    c.block->item->ext_len = 22;
    return cv_get_universal(c.block.get(), 0, nullptr, pool) == 1;
  }
};

SeDictValidator::SeDictValidator(SeDict& dict) : dict_(dict), literals_(new Literals) {}

SeDictValidator::~SeDictValidator() { delete literals_; }

bool SeDictValidator::converts(const DElem& e, int verb, const char* app, const uint8_t* lit) {
  bool date_add = verb == kVerbDateAdd;
  Literals::Entry key = Literals::key_of(lit, date_add, &e);
  const uint64_t h = Literals::hash(key);
  size_t slot = 0;
  if (const Literals::Entry* at = literals_->find(key, h, &slot)) return at->state == 2;
  bool ok = literals_->convert(e, date_add, app, dict_.ver_of(app), lit);
  key.state = ok ? 2 : 1;
  literals_->add(key, h, slot);
  return ok;
}

int SeDictValidator::is_pdf(const char* app, const char* name) {
  return std::memcmp(app, "0LA", 3) == 0 && dict_.elem("0LA", name, nullptr) == 1;
}

// ------------------------------------------------------------- tokens --

bool cnv_token_may_change(const DStmt& stmt) {
  int v = stmt.verb;
  if (v != kVerbSet && v != kVerbIf && v != kVerbAnd && v != kVerbOr) return false;
  const uint8_t* ops = stmt.ops.data();
  return blank(ops + 34, 3) && !blank(ops + 4, 3);
}

namespace {

// Whether the caller's dictionary reads the fields of app. It serves another
// application of the same version from disk too (it keeps that
// application's files open beside its own): a dictionary of its own for
// each statement would open them every time.
bool serves(SeDict* d, const char* app, const char* ver) {
  return d && (std::memcmp(app, d->app(), 3) == 0 || std::memcmp(app, "0LA", 3) == 0 ||
               (!d->memory() && std::memcmp(d->ver(), ver, 2) == 0));
}

}  // namespace

bool cnv_token_needed(const DStmt& stmt, const char* ver, SeDict* dict) {
  if (!cnv_token_may_change(stmt)) return false;
  const uint8_t* ops = stmt.ops.data();
  const char* app = reinterpret_cast<const char*>(ops + 4);
  if (!serves(dict, app, ver)) return true;
  const DElem* e = nullptr;
  bool token = false;
  int r = dict->elem_slot(app, reinterpret_cast<const char*>(ops + 7), &e, &token);
  return r == -2 || (r == 1 && token);
}

SeDict* cnv_token_dict(const DStmt& stmt, const char* ver, SeDict* dict, std::unique_ptr<SeDict>& own) {
  if (!cnv_token_may_change(stmt)) return dict;
  const char* app = reinterpret_cast<const char*>(stmt.ops.data() + 4);
  if (serves(dict, app, ver)) return dict;
  if (!serves(own.get(), app, ver)) {
    char a[4] = {app[0], app[1], app[2], 0};
    own = std::make_unique<SeDict>(a, ver);
  }
  return own.get();
}

int cnv_token(DStmt& stmt, const char* ver, int direction, int use_open, SeDict* dict) {
  if (!cnv_token_may_change(stmt)) return 1;
  uint8_t* ops = stmt.ops.data();
  const char* app = reinterpret_cast<const char*>(ops + 4);
  SeDict* d = use_open ? dict : nullptr;
  SeDict* own = nullptr;
  if (!serves(d, app, ver)) {
    char a[4] = {app[0], app[1], app[2], 0};
    d = own = new SeDict(a, ver);
  }
  struct Own {
    SeDict* p;
    ~Own() { delete p; }
  } gone{own};
  const DElem* found = nullptr;
  uint32_t st = 0;
  int r = d->elem_at(app, reinterpret_cast<const char*>(ops + 7), &found, &st);
  if (r == -2) {
    checkstat(st, "Bad elem read ", kMod, __LINE__);
    return 0;
  }
  if (r != 1 || !is_token(*found)) return 1;
  const DElem& e = *found;   // (where the dictionary object keeps it)
  int len = e.token_mark < 22 ? int(e.token_mark) : 22;
  uint8_t* lit = ops + 37;
  CvTokenRec t;
  if (direction == 1) {
    int i = lit[0] == ' ' ? 1 : 0;
    if (lit[i] == '-') {
      std::memset(lit, ' ', 22);
      return 1;
    }
    long long n = 0;
    int j = i;
    for (; j < 22 && lit[j] >= '0' && lit[j] <= '9' && n <= INT32_MAX; ++j) n = n * 10 + (lit[j] - '0');
    if (j == i || n > INT32_MAX) return 1;   // no stored number: left as it is
    std::memset(lit, ' ', 22);
    r = d->token_by_number(app, e, int32_t(n), &t, &st);
    if (r == 1) {
      std::memcpy(lit, t.text.data(), size_t(len));
    } else if (r == 0 || r == -1) {
      char b[16];
      int k = std::snprintf(b, sizeof b, "#%lld", n);
      std::memcpy(lit, b, size_t(k));
    } else {
      checkstat(st, "Bad token read ", kMod, __LINE__);
      return 0;
    }
    return 1;
  }
  if (blank(lit, 22)) {
    std::memcpy(lit, "-1", 2);
    return 1;
  }
  long long n;
  if (!kept_number(lit, 22, &n)) {
    r = d->token_by_name(app, e, reinterpret_cast<const char*>(lit), len, &t, &st);
    if (r == -2) {
      checkstat(st, "Bad token read ", kMod, __LINE__);
      return 0;
    }
    if (r != 1) return 0;
    n = int32_t(t.number);
  }
  if (n < 0) return 0;
  int places = int(e.b591) + 1;
  if (places > len) places = len;
  char digits[16];
  int k = std::snprintf(digits, sizeof digits, "%lld", n);
  if (k > places) return 0;
  std::memset(lit, ' ', 22);
  std::memset(lit, '0', size_t(places - k));
  std::memcpy(lit + places - k, digits, size_t(k));
  return 1;
}
