// A query's definition from its query files and its query process: the
// default source of the query engine's definitions. See pb.h.
//
// Selection lines are tested on the dictionary's description of their
// fields: a value is converted as the left field converts it, and the two
// sides compare in the order the sort gives the field (pb_enc_key), so a
// line and a sort on the same field agree on what is less.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pb.h"

namespace {

constexpr const char* kMod = "PBUTIL.C";
constexpr uint32_t kFault = 200650;
constexpr uint32_t kBadValue = 102520;
constexpr size_t kQparmLen = 1644;
constexpr size_t kQtagLen = 1064;

std::string trim(const char* p, size_t n) {
  while (n && (p[n - 1] == ' ' || p[n - 1] == 0)) --n;
  return std::string(p, n);
}

// The version a dictionary of app is read under.
std::string dict_ver(const std::string& app, const char* ver) {
  return IS_ZUB_AP(app.c_str()) ? std::string("00") : trim(ver, 2);
}

// The ELEMENT dictionary of one application, open while a definition is
// read.
class Elements {
 public:
  Elements() : pool_(mm_create_pool(nullptr, com.depth, 0)) {}
  ~Elements() {
    for (auto& [k, h] : open_)
      if (h) (void)FM_CLOSE(h, 0);
    mm_destroy_pool(pool_);
  }
  Elements(const Elements&) = delete;
  Elements& operator=(const Elements&) = delete;

  // The element of a field and, for a group, its members (kinds 2 and 3
  // passed over) in dictionary order. Empty when the field is unknown.
  std::vector<DElem> of(const std::string& app, const std::string& ver, const std::string& field) {
    std::vector<DElem> out;
    FmArb* h = handle(app, ver);
    if (!h) return out;
    auto* e = static_cast<DElem*>(MM_ALLOC(pool_, sizeof(DElem)));
    std::memset(static_cast<void*>(e), ' ', sizeof *e);
    e->name.set(field);
    // By key 0, the name, as the record holds it.
    PROTO_FULL(h, 0, reinterpret_cast<uint8_t*>(e));
    if (!fm_read(h)) return out;
    if (e->kind != 2) {
      out.push_back(*e);
      return out;
    }
    // A group: the elements after it in its file's order up to its end.
    auto* k = static_cast<uint8_t*>(MM_ALLOC(pool_, 12));
    std::memcpy(k, e->file.data(), 8);
    rec::view<rec::U32>(k + 8).set(e->number);
    PROTO_FULL(h, 2, reinterpret_cast<uint8_t*>(e));
    h->key.set(k);
    h->key_len = 12;
    h->op = FM_OP_AT | FM_OP_KEY;
    int started = fm_start(h);
    h->op = 0;
    h->key.reset();
    h->key_len = 0;
    int depth = 0;
    while (started && fm_rdnxt(h)) {
      if (e->kind == 2) {
        ++depth;
      } else if (e->kind == 3) {
        if (--depth <= 0) break;
      } else if (depth > 0) {
        out.push_back(*e);
      }
    }
    return out;
  }

 private:
  FmArb* handle(const std::string& app, const std::string& ver) {
    std::string k = app + "/" + ver;
    if (auto it = open_.find(k); it != open_.end()) return it->second;
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool_, sizeof(FmKdb), FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool_, sizeof(FmSdb), FM_CAT_SDB_AREA));
    FmFdb fdb;
    INIT_DELEM_FDB(&fdb, kdb, sdb, app.c_str(), ver.c_str());
    int ok = FM_OPEN(&fdb, com.depth, 0, 1, 15);
    if (!ok && fdb.status == FM_ST_NO_SYSDIR) {
      INIT_DELEM_FDB(&fdb, kdb, sdb, app.c_str(), ver.c_str());
      ok = FM_OPEN(&fdb, com.depth, FM_OPT_NO_SYSDIR, 1, 15);
    }
    FmArb* h = ok ? fdb.handle.get() : nullptr;
    open_[k] = h;
    return h;
  }

  MmPool pool_;
  std::map<std::string, FmArb*> open_;
};

bool is_alpha(int t) { return t == 1 || t == 2 || t == 11 || t == 13; }
bool is_num(int t) { return t == 5 || t == 8 || t == 12; }
bool is_date(int t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }

// -1, 0, 1 for two numbers of any scale.
int num_cmp(CvNum a, CvNum b) {
  while (a.scale < b.scale) a.value *= 10, ++a.scale;
  while (b.scale < a.scale) b.value *= 10, ++b.scale;
  return a.value < b.value ? -1 : a.value > b.value;
}

// One side of a line: a field's bytes in the record, or a constant.
struct Side {
  DElem e{};
  uint32_t off = 0;                 // the occurrence's bytes in the record
  uint16_t len = 0;
  std::vector<uint8_t> value;       // a constant in the left field's stored form
  PbKeyDef key;                     // dates: the field's sort key (its value alone)
  const uint8_t* at(const uint8_t* rec) const { return value.empty() ? rec + off : value.data(); }
};

// The sort key of a date side (without the ordinal's bytes).
std::vector<uint8_t> date_key(const Side& s, const uint8_t* rec) {
  std::vector<uint8_t> rec_img(size_t(s.off) + s.len);
  std::memcpy(rec_img.data() + s.off, s.at(rec), s.len);
  std::vector<uint8_t> k(s.key.key_len);
  pb_enc_key(s.key, rec_img.data(), 0, k.data());
  k.resize(k.size() - 4);
  return k;
}

bool make_side(const DElem& e, uint16_t occ, const char* app, const char* ver, Side* s) {
  // An occurrence the field does not have would read past it.
  if (occ > std::max<uint16_t>(e.occurs, 1)) return false;
  s->e = e;
  s->len = e.length;
  s->off = uint32_t(e.offset) + uint32_t(occ ? occ - 1 : 0) * e.length;
  if (is_date(e.type)) {
    PbKeyField f;
    if (!pb_sort_field(e, occ, '+', 1, app, ver, &f)) return false;
    s->key.fields.push_back(f);
    if (!pb_key_layout(&s->key)) return false;
  }
  return true;
}

// A value of a token field (numbers stored through a token list): a token's
// name converted as the field converts what a user types (its number, which
// must fit the field's storage), else the field's literal, a token number.
// 0 when it is neither: an unknown name, or a number past the storage.
int store_token(const DElem& e, const char* app, const char* ver, const std::string& text, std::vector<uint8_t>* out) {
  CvBlock blk;
  if (!cv_get_cnv(&blk, &e, app, ver)) return 0;
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  auto* stored = static_cast<uint8_t*>(MM_ALLOC(pool, e.length));
  auto* shown = static_cast<char*>(MM_ALLOC(pool, 31));
  std::memset(shown, ' ', 31);
  // The whole name, not the field's display width: a longer name cut to it
  // could be another token's.
  size_t n = std::min<size_t>(text.size(), 30);
  std::memcpy(shown, text.data(), n);
  blk.item->ext_len = uint16_t(std::max<size_t>(n, 1));
  cv_set_addr(&blk, stored, shown);
  int ok = cv_etoi(&blk);
  if (!ok) {
    cv_set_addr(&blk, stored, shown);
    int in_com = 0;
    ok = cv_get_universal(&blk, 0, &in_com, pool);
  }
  if (ok) out->assign(stored, stored + e.length);
  mm_destroy_pool(pool);
  return ok;
}

// A value text in the stored form of field e (dates and numbers through
// the field's conversion from universal form). 0 when the field does not
// take it.
int store_value(const DElem& e, const char* app, const char* ver, const std::string& text, std::vector<uint8_t>* out) {
  out->assign(e.length, ' ');
  if (is_alpha(e.type)) {
    std::memcpy(out->data(), text.data(), std::min<size_t>(text.size(), e.length));
    return 1;
  }
  if (e.type == 5 && e.token_mark.get() != 0) return store_token(e, app, ver, text, out);
  if (is_num(e.type)) {
    CvNum n{};
    uint32_t msg = 0;
    if (!cv_num_universal(text.data(), int(text.size()), &n, &msg)) return 0;
    return cv_num_put(e.type, out->data(), e.length, e.digits, e.decimals, e.sign == '1', n, &msg);
  }
  CvBlock blk;
  if (!cv_get_cnv(&blk, &e, app, ver)) return 0;
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  auto* buf = static_cast<char*>(MM_ALLOC(pool, 64));
  std::memset(buf, ' ', 64);
  std::memcpy(buf, text.data(), std::min<size_t>(text.size(), 64));
  blk.item->ext_len = uint16_t(std::max<size_t>(text.size(), 1));
  cv_set_addr(&blk, nullptr, buf);
  int in_com = 0;
  int ok = cv_get_universal(&blk, 0, &in_com, pool);
  if (ok) out->assign(blk.item->int_addr.get(), blk.item->int_addr.get() + e.length);
  mm_destroy_pool(pool);
  return ok;
}

bool holds(int rel, int c) {
  switch (rel) {
    case 1: return c == 0;
    case 2: return c >= 0;
    case 3: return c > 0;
    case 4: return c <= 0;
    case 5: return c < 0;
    case 6: return c != 0;
    default: return c == 0;
  }
}

// Reads every record of a query file (a stream restricted to one query).
bool read_all(FmArb* s, size_t len, std::vector<std::vector<uint8_t>>* out, const char* what) {
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  auto* r = static_cast<uint8_t*>(MM_ALLOC(pool, len));
  PROTO_FULL(s, 0, r);
  s->op = FM_OP_FIRST;
  int ok = fm_start(s);
  s->op = 0;
  while (ok && fm_rdnxt(s)) out->emplace_back(r, r + len);
  bool eof = !ok || s->status == FM_ST_EOF;
  s->rec.reset();
  mm_destroy_pool(pool);
  if (!eof) checkstat(s->status, what, kMod, __LINE__);
  return eof;
}

void close_qfi(FmArb* s) {
  if (!s) return;
  FmArb* base = s->parent.get();
  (void)FM_CLOSE(s, 0);
  if (base && base != s) (void)FM_CLOSE(base, 0);
}

// The QTAG records of a query, in tag order, taken and deleted: their
// record ids.
int take_tags(int scope, const std::string& app, const std::string& name, std::vector<std::string>* ids,
              uint32_t* status) {
  FmArb* h = pb_open_qfi(scope, "QTAG", app.c_str(), name.c_str());
  if (!h) return 1;  // no tag file: no record tagged
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  auto* r = static_cast<uint8_t*>(MM_ALLOC(pool, kQtagLen));
  auto* head = static_cast<char*>(MM_ALLOC(pool, 33));
  std::memset(head, ' ', 33);
  std::memcpy(head, app.data(), std::min<size_t>(app.size(), 3));
  std::memcpy(head + 3, name.data(), std::min<size_t>(name.size(), 30));
  h->rec.set(r);
  h->rec_len = kQtagLen;
  h->key_no = 0;
  h->key.set(reinterpret_cast<uint8_t*>(head));
  h->key_len = 33;
  h->op = FM_OP_AT | FM_OP_KEY;
  int ok = fm_start(h);
  h->key.reset();
  h->key_len = 0;
  int rc = 1;
  while (ok) {
    h->op = FM_OP_HOLD;
    h->rec_len = kQtagLen;
    if (!fm_rdnxt(h)) {
      if (h->status != FM_ST_EOF) rc = 0, *status = h->status, checkstat(h->status, "can't start QTAG file", kMod, __LINE__);
      break;
    }
    if (std::memcmp(r, head, 33) != 0) {
      fm_release(h);
      break;
    }
    size_t n = h->len_read > 40 ? h->len_read - 40u : 0;
    ids->emplace_back(reinterpret_cast<const char*>(r + 40), n);
    h->op = 0;
    if (!fm_del(h)) {
      checkstat(h->status, "QTAG delete failed", kMod, __LINE__);
      *status = h->status;
      rc = 0;
      break;
    }
  }
  h->op = 0;
  h->rec.reset();
  (void)FM_CLOSE(h, 0);
  mm_destroy_pool(pool);
  return rc;
}

// The file whose record holds a field (a work field: none, empty).
std::string field_file(const DElem& e) { return e.work == '1' ? std::string() : trim(e.file.data(), 8); }

}  // namespace

int pb_line_test(const PbQslct& line, const char* ver, PbLineTest* out, uint32_t* status, uint32_t* reads_to,
                 std::vector<std::string>* files) {
  Elements els;
  std::string lapp = trim(line.l_app.data(), 3), lfield = trim(line.l_field.data(), 22);
  std::string lver = dict_ver(lapp, ver);
  std::vector<DElem> le = els.of(lapp, lver, lfield);
  if (le.size() != 1) return (*status = kFault), 0;
  auto left = std::make_shared<Side>();
  if (!make_side(le[0], line.l_occ, lapp.c_str(), lver.c_str(), left.get())) return (*status = kFault), 0;
  auto right = std::make_shared<Side>();
  std::string rapp = trim(line.r_app.data(), 3);
  if (rapp.empty()) {
    std::string v(line.r_value.data(), 30);
    if (v.compare(0, 3, "\" \"") == 0) v.assign(30, ' ');
    std::string text = trim(v.data(), v.size());
    if (!store_value(le[0], lapp.c_str(), lver.c_str(), text.empty() ? std::string(" ") : text, &right->value))
      return (*status = kBadValue), 0;
    right->e = le[0];
    right->len = left->len;
    right->key = left->key;
  } else {
    std::string rver = dict_ver(rapp, ver);
    std::vector<DElem> re = els.of(rapp, rver, trim(line.r_value.data(), 22));
    if (re.size() != 1 || !make_side(re[0], line.r_occ, rapp.c_str(), rver.c_str(), right.get()))
      return (*status = kFault), 0;
  }
  int rel = line.relation;
  int lt = left->e.type, rt = right->e.type;
  *reads_to = std::max(left->off + left->len, right->value.empty() ? right->off + right->len : 0u);
  if (files) {
    files->push_back(field_file(left->e));
    if (right->value.empty()) files->push_back(field_file(right->e));
  }
  if (is_alpha(lt) && is_alpha(rt)) {
    *out = [left, right, rel](const uint8_t* rec) {
      std::string a(reinterpret_cast<const char*>(left->at(rec)), left->len);
      std::string b(reinterpret_cast<const char*>(right->at(rec)), right->len);
      if (rel == 7) {
        std::string t = trim(b.data(), b.size());
        return a.find(t) != std::string::npos;
      }
      size_t n = std::max(a.size(), b.size());
      a.resize(n, ' ');
      b.resize(n, ' ');
      return holds(rel, a.compare(b) < 0 ? -1 : a.compare(b) > 0);
    };
  } else if (is_num(lt) && is_num(rt)) {
    *out = [left, right, rel](const uint8_t* rec) {
      CvNum a{}, b{};
      if (!cv_num_get(left->e.type, left->at(rec), left->len, left->e.decimals, left->e.sign == '1', &a) ||
          !cv_num_get(right->e.type, right->at(rec), right->len, right->e.decimals, right->e.sign == '1', &b))
        return false;
      return holds(rel, num_cmp(a, b));
    };
  } else if (is_date(lt) && is_date(rt)) {
    *out = [left, right, rel](const uint8_t* rec) {
      std::vector<uint8_t> a = date_key(*left, rec), b = date_key(*right, rec);
      int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
      return holds(rel, c < 0 ? -1 : c > 0);
    };
  } else {
    // Fields of different kinds (a number against a text) are never equal.
    return (*status = kBadValue), 0;
  }
  return 1;
}

int pb_qfi_define(const FmScbQuery& b, PbQueryDef* out) {
  int scope = int(b.scope);
  std::string app = trim(b.app.data(), 3), name = trim(b.name.data(), 30);
  std::string ver = trim(b.ver.data(), 2);
  PbSuspLoaded sus;
  int loaded = out->criteria_only ? -1 : pb_load_suspend(b, &sus);
  if (loaded == 0) return 0;
  if (loaded > 0) {
    out->cns_values = std::move(sus.cns_values);
    out->cns = std::move(sus.cns);
    out->tagged = sus.head.tagged != 0;
    out->info = sus.area17;
  }
  // QPARM, QSLCT and QSORT of the query, as they stand.
  std::vector<std::vector<uint8_t>> parm, slct, sort;
  const char* files[3] = {"QPARM", "QSLCT", "QSORT"};
  std::vector<std::vector<uint8_t>>* into[3] = {&parm, &slct, &sort};
  size_t lens[3] = {kQparmLen, sizeof(PbQslct), sizeof(PbQsort)};
  for (int i = 0; i < 3; ++i) {
    FmArb* s = pb_open_qfi(scope, files[i], app.c_str(), name.c_str());
    if (!s) return 0;
    bool ok = read_all(s, lens[i], into[i], i == 0 ? "can't read QPARM" : i == 1 ? "can't start qslct" : "can't start qsort");
    close_qfi(s);
    if (!ok) return 0;
  }
  if (parm.empty()) {
    checkstat(FM_ST_EOF, "can't read qparm", kMod, __LINE__);
    return 0;
  }
  out->text8.assign(reinterpret_cast<const char*>(parm[0].data() + 41), 800);
  out->text9.assign(reinterpret_cast<const char*>(parm[0].data() + 841), 800);
  out->criteria.assign(parm[0].begin(), parm[0].end());
  out->lines.clear();
  for (auto& r : slct) {
    PbQslct l = rec::view<PbQslct>(r.data());
    l.mentioned = '0';  // the parser's mark, not a criterion
    out->lines.push_back(l);
    out->criteria.append(reinterpret_cast<const char*>(&l), sizeof l);
  }
  std::vector<PbQsort> qsort;
  for (auto& r : sort) {
    qsort.push_back(rec::view<PbQsort>(r.data()));
    out->criteria.append(reinterpret_cast<const char*>(r.data()), r.size());
  }
  if (out->criteria_only) return 1;
  // The sort fields from their dictionaries.
  Elements els;
  bool known = true;
  auto elements = [&](const PbQsort& l) {
    std::string fa = trim(l.f_app.data(), 3);
    std::vector<DElem> v = els.of(fa, dict_ver(fa, ver.c_str()), trim(l.field.data(), 22));
    if (v.empty()) known = false;
    for (const DElem& e : v) out->files.insert(field_file(e));
    return v;
  };
  if (!out->tagged && (!pb_cmpl_sort(qsort, elements, app.c_str(), dict_ver(app, ver.c_str()).c_str(), &out->key) || !known)) {
    checkstat(kFault, "bad sort field name", kMod, __LINE__);
    return 0;
  }
  // Each line in use tested on its fields.
  auto tests = std::make_shared<std::map<uint64_t, PbLineTest>>();
  for (const PbQslct& l : out->lines) {
    if (l.on == '0' || l.relation == 0 || l.relation == ' ' || l.relation == 255) continue;
    if (l.relation > 7) return 0;
    PbLineTest t;
    uint32_t st = 0, to = 0;
    std::vector<std::string> files;
    if (!pb_line_test(l, ver.c_str(), &t, &st, &to, &files)) return 0;
    out->reads_to = std::max(out->reads_to, to);
    out->files.insert(files.begin(), files.end());
    (*tests)[uint64_t(l.kind) << 32 | l.line.get()] = std::move(t);
  }
  out->test = [tests](const PbQslct& l, const uint8_t* rec) {
    auto it = tests->find(uint64_t(l.kind) << 32 | l.line.get());
    return it != tests->end() && it->second(rec);
  };
  // A record's id is the value of the file's primary key (a record
  // address names whatever record is put in a deleted one's place).
  out->id_key = 0;
  if (out->tagged) {
    out->tags = [scope, app, name](std::vector<std::string>* ids, uint32_t* st) {
      return take_tags(scope, app, name, ids, st);
    };
  }
  return 1;
}

int pb_break_table(int scope, const char* app, const char* name, const char* ver, std::vector<PbBreakEnt>* out) {
  out->clear();
  std::string a = trim(app, std::strlen(app)), n = trim(name, std::strlen(name));
  FmArb* s = pb_open_qfi(scope, "QSORT", a.c_str(), n.c_str());
  if (!s) return 0;
  std::vector<std::vector<uint8_t>> lines;
  bool ok = read_all(s, sizeof(PbQsort), &lines, "can't read QSORT file");
  close_qfi(s);
  if (!ok) return 0;
  Elements els;
  auto blank = [] {
    PbBreakEnt e;
    std::memset(static_cast<void*>(&e), ' ', sizeof e);
    e.b25 = 0;
    e.levels = 0;
    std::memset(e.flags, 0, sizeof e.flags);
    e.b63 = 0;
    return e;
  };
  if (!lines.empty() && rec::view<PbQsort>(lines[0].data()).seq != 0) out->push_back(blank());
  for (const auto& r : lines) {
    const PbQsort& l = rec::view<PbQsort>(r.data());
    if (l.sorted[0] != '1') continue;
    PbBreakEnt e = blank();
    e.app = l.f_app;
    e.field = l.field;
    e.levels = l.occ ? uint16_t(l.occ) : uint16_t(1);
    const char at[5] = {l.flags70[0][0], l.flags70[1][0], l.flags70[3][0], l.flags70[2][0], l.flags70[4][0]};
    for (int i = 0; i < 5; ++i) e.flags[i] = at[i] == '1';
    if (!out->empty()) {
      std::string fa = trim(l.f_app.data(), 3);
      std::vector<DElem> el = els.of(fa, dict_ver(fa, ver), trim(l.field.data(), 22));
      if (el.size() == 1) e.label = el[0].label;
    }
    out->push_back(e);
  }
  return 1;
}
