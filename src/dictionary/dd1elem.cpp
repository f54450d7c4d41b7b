// Elements of the dictionary compiler: data fields, groups, synonyms and
// substrings, keys, special usages, area numbers, work fields (see dd1.h).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dictionary/dd1.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {

const char kMod[] = "DD1";
// Written after the label's last character when it becomes a heading.
constexpr char kHeadEnd = '_';

void err_fld(DdRun* r, uint32_t msg, const DElem& e) { dd_err(r, msg, 3, e.name.data(), 22); }
void err_file(DdRun* r, uint32_t msg) { dd_err(r, msg, 1, r->fi->name.data(), 8); }

DdMelem* melem_by_name(DdRun* r, const char* name) {
  for (DdMelem& m : r->melem)
    if (!std::memcmp(m.e.name.data(), name, 22)) return &m;
  return nullptr;
}

bool blank(const char* s, size_t n) { return dd_blank(s, n); }

// Label defaults and headings shared by every entry kind.
void label_headings(DElem& e) {
  if (blank(e.label.data(), 30)) std::memcpy(e.label.data(), e.name.data(), 22);
  if (blank(e.heading1.data(), 30) && blank(e.heading2.data(), 30)) e.heading2 = e.label;
}

bool allow_misaligns() { return std::getenv("QUVO_ALLOW_MISALIGNS") != nullptr; }

}  // namespace

// Filler messages: 1, 2 or 3 bytes.
static uint32_t filler_msg(int n) {
  bool allow = allow_misaligns();
  switch (n) {
    case 1: return allow ? 100040 : 100045;
    case 2: return allow ? 100050 : 100055;
    default: return allow ? 100060 : 100065;
  }
}

bool bld_elem(DdRun* r, const DDomain* d, const DField* f, DdMelem* m) {
  std::memset(m, 0, sizeof *m);
  DElem& e = m->e;
  std::memcpy(&e, f, 300);
  // the value attributes start blank and take the domain's
  std::memset(reinterpret_cast<uint8_t*>(&e) + 300, 0, sizeof(DElem) - 300);
  e.initial.set("");
  e.null_value.set("");
  e.mask2.set("");
  e.rng_value1.set("");
  e.rng_value2.set("");
  if (e.occurs == 0) e.occurs = 1;
  e.sign = '0';
  e.fill = ' ';
  e.entry_flag = '1';
  e.squeeze = '0';
  e.mask = d->mask;
  bool ok = parse_msk(r, m, d);
  e.offset = 0;
  if (e.flag92 == ' ') e.flag92 = uint8_t(d->b206[0]);
  if (blank(e.label.data(), 30)) {
    if (!blank(d->label.data(), 30)) e.label = d->label;
    else std::memcpy(e.label.data(), e.name.data(), 22);
  }
  if (blank(e.heading1.data(), 30) && blank(e.heading2.data(), 30)) {
    if (!blank(d->heading1.data(), 30) || !blank(d->heading2.data(), 30)) {
      e.heading1 = d->heading1;
      e.heading2 = d->heading2;
    } else {
      e.heading2 = e.label;
      size_t n = dd_trim_len(e.label.data(), 30);
      e.heading2.data()[n < 30 ? n : 29] = kHeadEnd;
    }
  }
  if (blank(e.ref_app.data(), 3) && blank(e.ref_file.data(), 8) && blank(e.ref_field.data(), 22)) {
    e.ref_app = d->ref_app;
    e.ref_file = d->ref_file;
    e.ref_field = d->ref_field;
  }
  if (blank(e.code1.data(), 4)) e.code1 = d->code1;
  if (blank(e.code2.data(), 4)) e.code2 = d->code2;
  if (blank(e.code3.data(), 4)) e.code3 = d->code3;
  if (!blank(f->initial.data(), 60)) e.initial = f->initial;
  else e.initial = d->initial;
  e.null_value = d->null_value;
  e.mask2 = d->mask2;
  e.rng_code1 = d->rng_code1;
  e.rng_code2 = d->rng_code2;
  e.rng_value1 = d->rng_value1;
  e.rng_value2 = d->rng_value2;
  e.b581 = d->alpha_kind;
  e.squeeze = uint8_t(d->squeeze[0] == ' ' ? '0' : d->squeeze[0]);
  e.b589 = f->b529;
  e.b590 = f->b525;
  e.b591 = uint8_t(f->b531[0]);
  e.field_no = 0;
  if ((f->low_given != 255 || f->high_given != 255) && !vfy_fld_rng(r, f, d, m)) ok = false;
  return ok;
}

bool cmpl_dom_fld(DdRun* r, DField* f, DdMelem* m, int offset) {
  auto* d = static_cast<DDomain*>(MM_ALLOC(r->pool, sizeof(DDomain)));
  struct Free {
    void* p;
    ~Free() { mm_free(p); }
  } fd{d};
  if (!get_ddom(r, f, d)) return false;
  bool ok = bld_elem(r, d, f, m);
  DElem& e = m->e;
  m->segs = uint8_t(((d->decl_kind == 2 && d->storage == 1 && e.length == 8) || e.type == 12 ||
                     (e.type == 9 && e.decimals <= 4))
                        ? 2
                        : 1);
  if (e.type == 5 || e.type == 6 || e.type == 7) {
    int unit = e.length == 8 ? 4 : int(e.length.get());
    if (unit > 0 && offset % unit != 0) {
      int fill = ((unit - offset % unit) % 4);
      if (fill) err_fld(r, filler_msg(fill), e);
    }
  }
  if (offset > 32767) {
    err_file(r, 100690);
    return false;
  }
  e.offset = uint16_t(offset);
  if (e.usage != 1) r->fi->flag300.set("0");
  if (!fi_usage_type(r, m, d->kind)) ok = false;
  return ok;
}

bool cpy_elem(DdRun* r, const DField* f, DdMelem* m) {
  DElem& e = m->e;
  switch (f->kind.get()) {
    case 3: {
      std::memset(m, 0, sizeof *m);
      std::memcpy(&e, f, 300);
      std::memset(reinterpret_cast<uint8_t*>(&e) + 300, 0, sizeof(DElem) - 300);
      e.area = 0;
      e.work = '0';
      e.domain.set("");
      e.offset = 0;
      e.length = 0;
      e.occurs = 1;
      e.flag92 = '0';
      e.b94 = 0;
      std::memset(e.label.data(), ' ', 90);
      e.usage = 0;
      e.key_kind = 255;
      e.key_no = 0;
      e.key_order = ' ';
      e.key_dups = ' ';
      e.low_given = 255;
      e.high_given = 255;
      e.low.set("");
      e.high.set("");
      e.ref_app.set("");
      e.ref_file.set("");
      e.ref_field.set("");
      break;
    }
    case 2: {
      std::memset(m, 0, sizeof *m);
      std::memcpy(&e, f, 300);
      std::memset(reinterpret_cast<uint8_t*>(&e) + 300, 0, sizeof(DElem) - 300);
      if (e.occurs == 0) e.occurs = 1;
      label_headings(e);
      e.length = 0;
      break;
    }
    case 4: case 5: {
      DdMelem* base = melem_by_name(r, f->domain.data());
      if (!base) return false;
      DElem b = base->e;
      DdMelem keep = *base;
      e = b;
      std::memcpy(e.name.data(), f->name.data(), 22);
      e.kind = f->kind;
      std::memcpy(e.domain.data(), f->domain.data(), 22);
      std::memcpy(e.number.b, &f->number, 4);
      std::memcpy(e.ident_stamp.data(), f->ident_stamp.data(), 8);
      std::memcpy(e.stamp2.data(), f->stamp2.data(), 8);
      std::memcpy(e.cmpl_stamp.data(), f->cmpl_stamp.data(), 8);
      e.flag92 = uint8_t(f->flag92[0]);
      e.b94 = f->b94;
      e.label = f->label;
      e.heading1 = f->heading1;
      e.heading2 = f->heading2;
      label_headings(e);
      e.usage = 0;
      e.key_kind = f->key_kind;
      e.key_order = uint8_t(f->key_order[0]);
      e.key_dups = uint8_t(f->key_dups[0]);
      e.ref_app = f->ref_app;
      e.ref_file = f->ref_file;
      e.ref_field = f->ref_field;
      m->b592 = 0;
      m->sign = keep.sign;
      m->null_digits = keep.null_digits;
      m->int_digits = keep.int_digits;
      m->segs = keep.segs;
      if (f->kind == 5) {
        e.work = uint8_t(f->work[0]);
        e.b93 = f->b93;
        break;
      }
      e.offset = uint16_t(b.offset + f->offset - 1);
      e.length = f->length;
      e.occurs = f->occurs ? f->occurs.get() : uint16_t(1);
      e.low_given = f->low_given;
      e.high_given = f->high_given;
      e.low = f->low;
      e.high = f->high;
      e.initial.set("");
      e.mask.set("");
      e.mask2.set("");
      e.rng_value1.set("");
      e.rng_value2.set("");
      break;
    }
    default: dd_sys_err("DD2", __LINE__, "dd2, cpy_elem entered default in switch");
  }
  if (f->kind != 5) {
    e.field_no = 0;
    e.rng_code1 = 255;
    e.rng_code2 = 255;
    e.token_mark = 0;
    e.case_code = 2;
    e.b581 = 0;
    e.justify = 0;
    e.fill = ' ';
    e.squeeze = '0';
    if (f->kind != 4) {
      e.type = 0;
      e.initial.set("");
      e.null_value.set("");
      e.mask.set("");
      e.mask2.set("");
      e.rng_value1.set("");
      e.rng_value2.set("");
      e.entry_flag = '1';
      e.digits = 0;
      e.decimals = 0;
      if (f->kind == 3) e.sign = '0';
      m->segs = 0;
    }
  }
  return true;
}

bool cmpl_group_hdr(DdRun* r, const DField* f, DdMelem* m) {
  bool ok = true;
  // The group's last field must be a field of this file.
  auto* x = static_cast<DField*>(MM_ALLOC(r->pool, sizeof(DField)));
  std::memcpy(x->name.data(), f->domain.data(), 22);
  FmArb* s = FM_ATTACH(r->fld, nullptr, com.depth);
  if (!s) dd_fail(r->fld->status, "bad fld attach", kMod, __LINE__);
  PROTO_FULL(s, 0, reinterpret_cast<uint8_t*>(x));
  s->op = FM_OP_EQUAL;
  bool found = fm_read(s) && !std::memcmp(x->file.data(), f->file.data(), 8) && x->work[0] != '1';
  if (!found && s->status != 0 && s->status != FM_ST_NO_RECORD) dd_fail(s->status, "Bad fld read", kMod, __LINE__);
  fm_detach(s);
  mm_free(x);
  if (!found) {
    dd_err(r, 100290, 3, f->name.data(), 22);
    ok = false;
  }
  for (const DdGroup& g : r->group)
    if (!std::memcmp(g.last.data(), f->name.data(), 22)) {
      dd_err(r, 100370, 3, f->name.data(), 22);
      ok = false;
    }
  DdGroup g;
  std::memset(&g, 0, sizeof g);
  g.level = r->group_lvl;
  std::memcpy(g.name.data(), f->name.data(), 22);
  std::memcpy(g.last.data(), f->domain.data(), 22);
  g.contiguous = 1;
  g.key_slot = 255;
  r->group.push_back(g);
  cpy_elem(r, f, m);
  return ok;
}

bool cmpl_syn_substr(DdRun* r, const DField* f, DdMelem* m) {
  DdMelem* base = melem_by_name(r, f->domain.data());
  if (!base) {
    auto* x = static_cast<DField*>(MM_ALLOC(r->pool, sizeof(DField)));
    std::memcpy(x->name.data(), f->domain.data(), 22);
    FmArb* s = FM_ATTACH(r->fld, nullptr, com.depth);
    if (!s) dd_fail(r->fld->status, "bad fld attach", kMod, __LINE__);
    PROTO_FULL(s, 0, reinterpret_cast<uint8_t*>(x));
    s->op = FM_OP_EQUAL;
    bool in_file = fm_read(s) && !std::memcmp(x->file.data(), f->file.data(), 8);
    uint32_t xno = x->number;
    fm_detach(s);
    mm_free(x);
    uint32_t msg = !in_file ? 100710 : xno <= f->number ? 100170 : 100180;
    dd_err(r, msg, 3, f->name.data(), 22);
    return false;
  }
  const DElem& b = base->e;
  if (f->kind == 4) {
    if (b.occurs >= 2) {
      dd_err(r, 100590, 3, b.name.data(), 22);
      return false;
    }
    // A substring past its base would reach the next field's bytes, or
    // past the record: the file fails. So would its occurrences (each
    // follows the one before within the base).
    int64_t occurs = f->occurs ? int64_t(f->occurs) : 1;
    if (int64_t(f->offset) - 1 + int64_t(f->length) * occurs > int64_t(b.length) || f->offset == 0) {
      dd_err(r, 100580, 3, f->name.data(), 22);
      return false;
    }
  } else {
    if (b.kind != 1) {
      dd_err(r, 100600, 3, f->name.data(), 22);
      return false;
    }
    if (f->occurs > b.occurs) {
      dd_err(r, 100610, 3, f->name.data(), 22);
      return false;
    }
  }
  return cpy_elem(r, f, m);
}

namespace {

// Closes the innermost group (its last field was the entry).
bool proc_group(DdRun* r, DdGroup& g) {
  bool ok = true;
  if (g.level != r->group_lvl) {
    dd_err(r, 100280, 3, g.name.data(), 22);
    ok = false;
  }
  DdMelem* h = melem_by_name(r, g.name.data());
  if (h) {
    h->e.length = g.total;
    h->e.offset = g.first_off;
    h->e.field_no = g.segs;
    h->e.type = g.contiguous ? 1 : 2;
    if (g.key_slot != 255) {
      int k = g.key_slot;
      uint32_t klen = uint32_t(g.total) * h->e.occurs;
      r->fi->seg_count[k] = uint8_t(g.segs * h->e.occurs);
      r->fi->key_len[k] = uint16_t(klen);
      if (klen > 255 || (k > 0 && klen + r->fi->key_len[0] > 65535)) {
        dd_err(r, 100270, 3, g.name.data(), 22);
        ok = false;
      }
    }
  }
  --r->group_lvl;
  return ok;
}

}  // namespace

bool upd_group(DdRun* r, DdMelem* m) {
  bool ok = true;
  const DElem& e = m->e;
  for (DdGroup& g : r->group) {
    if (e.kind == 5) {
      DdMelem* b = melem_by_name(r, e.domain.data());
      if (b && g.has_first && b->e.number >= g.first_no) {
        dd_err(r, 100210, 3, e.name.data(), 22);
        ok = false;
      }
    }
    if (e.kind != 2) g.total = uint16_t(g.total + e.length * e.occurs);
    if (!g.has_first && e.kind != 2 && e.kind != 3) {
      g.has_first = 1;
      g.first_no = e.number;
      g.first_off = e.offset;
      g.next_field = e.field_no;
    }
    if (e.kind == 1 || e.kind == 4 || e.kind == 5) {
      g.segs = uint16_t(g.segs + m->segs * e.occurs);
      if (e.field_no != g.next_field) g.contiguous = 0;
      g.next_field = uint16_t(e.field_no + m->segs * e.occurs);
    }
  }
  // Close the groups this entry ends, innermost first; one that is not the
  // innermost is not nested properly (proc_group says so).
  for (size_t i = r->group.size(); i-- > 0;) {
    if (std::memcmp(r->group[i].last.data(), e.name.data(), 22) != 0) continue;
    if (!proc_group(r, r->group[i])) ok = false;
    r->group.erase(r->group.begin() + long(i));
  }
  return ok;
}

bool proc_key(DdRun* r, DdMelem* m, int asked) {
  DElem& e = m->e;
  DFile* fi = r->fi;
  if (asked > 16 && asked != 255) {
    // only 1-16 have a place in the key table
    err_fld(r, 100240, e);
    return false;
  }
  if (asked != 255 && asked != 0) {
    if (r->key_tbl[asked]) {
      err_fld(r, 100240, e);
      return false;
    }
  }
  int k;
  if (e.key_kind == 0) {
    k = 0;
  } else {
    k = fi->key_count;
    if (k >= 17) {
      dd_err(r, 100800, 1, fi->name.data(), 8);
      return false;
    }
    fi->key_count = uint8_t(k + 1);
  }
  if (asked != 255 && asked != 0) r->key_tbl[asked] = 1;
  e.key_no = uint8_t(asked);
  fi->key_elem[k] = e.number;
  if (e.kind == 2) {
    for (DdGroup& g : r->group)
      if (!std::memcmp(g.name.data(), e.name.data(), 22)) g.key_slot = uint8_t(k);
    return true;
  }
  uint32_t klen = uint32_t(e.length) * e.occurs;
  fi->seg_count[k] = uint8_t(m->segs * e.occurs);
  fi->key_len[k] = uint16_t(std::min<uint32_t>(klen, 65535));
  bool ok = true;
  if (klen > 255) {
    err_fld(r, 100660, e);
    ok = false;
  }
  if (k > 0 && klen + fi->key_len[0] > 65535) {
    dd_err(r, 100810, 1, fi->name.data(), 8);
    ok = false;
  }
  return ok;
}

bool fi_usage_type(DdRun* r, DdMelem* m, int dom_kind) {
  int u = m->e.usage;
  if (dom_kind == 4 && (u == 6 || u == 7)) {
    // The user stamps (140, 144): the runtime writes the 3-byte user id
    // there, which a logic field (one byte) cannot hold; an alpha field of
    // at least 3 bytes takes them by usage 6 and 7.
    int slot = u - 6;
    if (m->e.length < 3 || r->fi->usage[slot] != 0) {
      err_fld(r, slot == 0 ? 100400 : 100410, m->e);
      return false;
    }
    r->fi->usage[slot] = m->e.number;
    return true;
  }
  if (u < 2 || u > 5) return true;
  // FILE special-usage slots: u32 words from byte 140, slot (offset - 140) / 4.
  constexpr int k140 = 0, k144 = 1, k148 = 2, k152 = 3, k156 = 4, k160 = 5, k164 = 6, k168 = 7, k172 = 8,
                k176 = 9;
  struct Use {
    int slots[2];
    uint32_t msg;
  };
  static const Use kTab[4][4] = {
      {{{k148, -1}, 100440}, {{k152, -1}, 100450}, {{k148, k152}, 100430}, {{-1, -1}, 0}},
      {{{k156, -1}, 100300}, {{k160, -1}, 100310}, {{-1, -1}, 0}, {{-1, -1}, 0}},
      {{{k140, -1}, 100400}, {{k144, -1}, 100410}, {{k140, k144}, 100390}, {{-1, -1}, 0}},
      {{{k164, -1}, 100640}, {{k168, -1}, 100650}, {{k172, -1}, 100470}, {{k176, -1}, 100480}},
  };
  if (dom_kind < 1 || dom_kind > 4) return true;
  const Use& use = kTab[dom_kind - 1][u - 2];
  if (use.slots[0] < 0) return true;
  for (int s : use.slots)
    if (s >= 0 && r->fi->usage[s] != 0) {
      err_fld(r, use.msg, m->e);
      return false;
    }
  for (int s : use.slots)
    if (s >= 0) r->fi->usage[s] = m->e.number;
  return true;
}

// ------------------------------------------------------- area numbers --

int dd_area_class(int a, int b, int mode) {
  int cls = (a < 1 || a > 3 || b < 0 || b > 3) ? 0 : (a - 1) * 4 + b + 1;
  if ((mode == 1 || mode == 2) && cls > 2) cls = 2;
  return cls;
}

namespace {

// Whether an area number belongs to something else: a FILE of another file
// (100 or 104), or an ELEMENT of another file or work field.
bool area_taken(DdRun* r, uint32_t area, int mode, const char* name) {
  auto* f = static_cast<DFile*>(MM_ALLOC(r->pool, sizeof(DFile)));
  struct Free {
    void* p;
    ~Free() { mm_free(p); }
  } ff{f};
  for (int key = 1; key <= 2; ++key) {
    f->area = area;
    f->area2 = area;
    PROTO_FULL(r->file, key, reinterpret_cast<uint8_t*>(f));
    r->file->op = FM_OP_EQUAL;
    if (fm_read(r->file)) {
      if (mode == 4 || std::memcmp(f->name.data(), name, 8) != 0) return true;
    } else if (r->file->status != FM_ST_NO_RECORD) {
      dd_fail(r->file->status, "Bad file read ", kMod, __LINE__);
    }
  }
  auto* e = static_cast<DElem*>(MM_ALLOC(r->pool, sizeof(DElem)));
  struct Free2 {
    void* p;
    ~Free2() { mm_free(p); }
  } fe{e};
  e->area = area;
  PROTO_FULL(r->elem, 3, reinterpret_cast<uint8_t*>(e));
  r->elem->key.set(reinterpret_cast<uint8_t*>(e));
  r->elem->key_len = 4;
  r->elem->op = FM_OP_AT | FM_OP_KEY;
  if (!fm_start(r->elem)) dd_fail(r->elem->status, "Bad element read ", kMod, __LINE__);
  for (;;) {
    r->elem->op = 0;
    if (!fm_rdnxt(r->elem)) break;
    if (e->area != area) break;
    if (mode == 4 ? std::memcmp(e->name.data(), name, 22) != 0 : std::memcmp(e->file.data(), name, 8) != 0)
      return true;
  }
  return false;
}

}  // namespace

bool proc_ano(DdRun* r, uint32_t* area, int a, int b, int mode, const char* name) {
  uint32_t cls = uint32_t(dd_area_class(a, b, mode));
  uint32_t cur = *area;
  if (cur != 0 && cur / 1000000 != cls) {
    bit_free(r, cur % 1000000, cur / 1000000);
    cur = 0;
  }
  uint32_t n = cur % 1000000;
  for (;;) {
    if (!bit_find(r, &n, cls)) return false;
    uint32_t cand = cls * 1000000 + n;
    if (!area_taken(r, cand, mode, name)) {
      *area = cand;
      return true;
    }
    n = 0;
  }
}

// -------------------------------------------------------- work fields --

// The work fields compile all or none: the walk builds every element that
// must compile, then the area numbers are taken, and only then are FIELD
// (stamp and area) and ELEMENT written. A failed run leaves the dictionary
// as it was: numbers it marked in BITMAP are freed again, and a number left
// by a change of share class is freed only once its successor is written.
void vfy_wrk_fld(DdRun* r) {
  auto* f = static_cast<DField*>(MM_ALLOC(r->pool, sizeof(DField)));
  auto* old = static_cast<DElem*>(MM_ALLOC(r->pool, sizeof(DElem)));
  struct Free {
    void* a;
    void* b;
    ~Free() {
      mm_free(a);
      mm_free(b);
    }
  } fr{f, old};
  r->melem.clear();
  std::vector<uint32_t> was;  // each built element's area before the run (0 new)
  bool ok = true;
  // A stream of its own walks the work fields; the domain compile reads
  // FIELD through the file's handle.
  FmArb* s = FM_ATTACH(r->fld, nullptr, com.depth);
  if (!s) dd_fail(r->fld->status, "bad field constraint", kMod, __LINE__);
  std::memset(f, ' ', sizeof *f);
  f->work.set("1");
  PROTO_FULL(s, 1, reinterpret_cast<uint8_t*>(f));
  s->key.set(reinterpret_cast<uint8_t*>(f->work.data()));
  s->key_len = 1;
  s->op = FM_OP_AT | FM_OP_KEY;
  if (!fm_start(s)) dd_fail(s->status, "bad field constraint", kMod, __LINE__);
  while (ok) {
    s->op = FM_OP_HOLD | FM_OP_WAIT;
    if (!fm_rdnxt(s)) {
      if (s->status != FM_ST_EOF) dd_fail(s->status, "Bad fld read", kMod, __LINE__);
      break;
    }
    if (f->work[0] != '1') {
      fm_release(s);
      break;
    }
    std::memcpy(old->name.data(), f->name.data(), 22);
    PROTO_FULL(r->elem, 0, reinterpret_cast<uint8_t*>(old));
    r->elem->op = FM_OP_EQUAL;
    bool had = fm_read(r->elem) != 0;
    if (!had && r->elem->status != FM_ST_NO_RECORD) dd_fail(r->elem->status, "Bad element read ", kMod, __LINE__);
    if (had && !dd_stamp_unset(old->cmpl_stamp.data()) &&
        !std::memcmp(old->cmpl_stamp.data(), f->cmpl_stamp.data(), 8)) {
      fm_release(s);
      continue;
    }
    if (r->standalone) std::printf("%.*s (work field)\n", int(dd_trim_len(f->name.data(), 22)), f->name.data());
    auto* d = static_cast<DDomain*>(MM_ALLOC(r->pool, sizeof(DDomain)));
    struct FreeD {
      void* p;
      ~FreeD() { mm_free(p); }
    } fdm{d};
    DdMelem m;
    dd_stamp(f->cmpl_stamp.data());
    ok = get_ddom(r, f, d) && bld_elem(r, d, f, &m);
    fm_release(s);
    if (!ok) break;
    m.e.file.set("");
    m.e.number = 0;
    m.e.work = '1';
    m.e.share_a = f->share_a;
    m.e.share_b = f->share_b;
    std::memcpy(m.e.cmpl_stamp.data(), f->cmpl_stamp.data(), 8);
    r->melem.push_back(m);
    was.push_back(had ? old->area.get() : 0);
  }
  fm_detach(s);
  if (!ok) {
    r->melem.clear();
    return;
  }
  // Area numbers, in the walk's order. A number of another class is kept
  // (not given to proc_ano, which would free it) until the run succeeds.
  std::vector<uint32_t> taken;
  for (size_t i = 0; i < r->melem.size(); ++i) {
    DElem& e = r->melem[i].e;
    int a = int8_t(e.share_b), b = int8_t(e.share_a);
    uint32_t area = was[i] / 1000000 == uint32_t(dd_area_class(a, b, 4)) ? was[i] : 0;
    if (!proc_ano(r, &area, a, b, 4, e.name.data())) {
      for (uint32_t t : taken) bit_free(r, t % 1000000, t / 1000000);
      r->melem.clear();
      return;
    }
    if (area != was[i]) taken.push_back(area);
    e.area = area;
  }
  // upd_wrk_fld: the FIELD records take their stamps and areas, every
  // built element replaces its old one.
  for (size_t i = 0; i < r->melem.size(); ++i) {
    const DElem& e = r->melem[i].e;
    std::memcpy(f->name.data(), e.name.data(), 22);
    PROTO_FULL(r->fld, 0, reinterpret_cast<uint8_t*>(f));
    r->fld->op = FM_OP_EQUAL | FM_OP_HOLD | FM_OP_WAIT;
    if (!fm_read(r->fld)) dd_fail(r->fld->status, "Bad fld read", kMod, __LINE__);
    std::memcpy(f->cmpl_stamp.data(), e.cmpl_stamp.data(), 8);
    f->area = e.area;
    if (!fm_rewrite(r->fld)) dd_fail(r->fld->status, "Bad fld rewrite ", kMod, __LINE__);
    if (was[i] != 0 && was[i] / 1000000 != e.area / 1000000) bit_free(r, was[i] % 1000000, was[i] / 1000000);
  }
  for (DdMelem& m : r->melem) {
    for (int key : {0, 4}) {
      std::memcpy(old, &m.e, sizeof(DElem));
      PROTO_FULL(r->elem, key, reinterpret_cast<uint8_t*>(old));
      r->elem->op = FM_OP_EQUAL | FM_OP_HOLD;
      if (fm_read(r->elem)) {
        if (!fm_del(r->elem)) dd_fail(r->elem->status, "bad element write", kMod, __LINE__);
        break;
      }
    }
    std::memcpy(old, &m.e, sizeof(DElem));
    PROTO_FULL(r->elem, 0, reinterpret_cast<uint8_t*>(old));
    if (!fm_write(r->elem)) dd_fail(r->elem->status, "bad element write", kMod, __LINE__);
  }
  r->melem.clear();
}
