// Domains of the dictionary compiler: the domain run, a field's domain,
// compile and inheritance, storage from the mask, ranges (see dd1.h).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dictionary/dd1.h"
#include "foundation/bi.h"
#include "foundation/cvdat.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {

const char kMod[] = "DD1";

template <class T>
T* buf(DdRun* r) {
  auto* p = static_cast<T*>(MM_ALLOC(r->pool, sizeof(T)));
  std::memset(p, ' ', sizeof(T));
  return p;
}
struct Free {
  void* p;
  ~Free() { mm_free(p); }
};

void err_dom(DdRun* r, uint32_t msg, const DDomain* d) { dd_err(r, msg, 2, d->name.data(), 22); }
void err_fld(DdRun* r, uint32_t msg, const DdMelem* m) { dd_err(r, msg, 3, m->e.name.data(), 22); }

bool is_system_app(const char* app) {
  return !std::memcmp(app, "0AD", 3) || !std::memcmp(app, "0DB", 3) || !std::memcmp(app, "0LA", 3) ||
         !std::memcmp(app, "0SA", 3);
}

// The FIELD records of a domain (entry kind 1, its class and name) through a
// stream of their own, so the caller's positions and holds stay.
template <class F>
void each_user(DdRun* r, const DDomain* d, F&& fn) {
  FmArb* s = FM_ATTACH(r->fld, nullptr, com.depth);
  if (!s) dd_fail(r->fld->status, "bad field constraint", kMod, __LINE__);
  auto* f = buf<DField>(r);
  Free fr{f};
  f->kind = 1;
  std::memcpy(f->domain.data(), d->name.data(), 22);
  PROTO_FULL(s, 4, reinterpret_cast<uint8_t*>(f));
  s->key.set(reinterpret_cast<uint8_t*>(f) + offsetof(DField, kind));
  s->key_len = 23;
  s->op = FM_OP_AT | FM_OP_KEY;
  if (!fm_start(s)) dd_fail(s->status, "Bad start ", kMod, __LINE__);
  for (;;) {
    s->op = FM_OP_HOLD | FM_OP_WAIT;
    bool self = false;
    if (!fm_rdnxt(s)) {
      // a field this run holds (the one being compiled) is delivered, not held
      if (s->status == FM_ST_HELD_SELF) self = true;
      else if (s->status != FM_ST_EOF) dd_fail(s->status, "Bad start ", kMod, __LINE__);
      else break;
    }
    if (f->kind != 1 || std::memcmp(f->domain.data(), d->name.data(), 22) != 0) {
      fm_release(s);
      break;
    }
    if (f->dom_class != d->cls || self) {
      if (!self) fm_release(s);
      continue;
    }
    if (!fn(s, f)) break;
  }
  fm_detach(s);
}

// The source of an inherited domain into *src; false after its message.
// check_appl: a missing source application is a message (else the stored
// copy stays).
bool source_of(DdRun* r, const DDomain* d, DDomain* src, bool check_appl, FmArb** src_dom) {
  if (!std::memcmp(d->src_app.data(), r->app, 3)) {
    err_dom(r, 100540, d);
    return false;
  }
  char sapp[4] = {};
  std::memcpy(sapp, d->src_app.data(), 3);
  uint32_t st = 0;
  FmArb* ap = open_dsgn_fi(r, "INIT_DAP_FDB", "0SA", "  ", &st);
  bool have_app = false;
  if (ap) {
    auto* a = buf<DAppl>(r);
    Free fa{a};
    std::memcpy(a->app.data(), sapp, 3);
    std::memcpy(a->ver.data(), r->ver, 2);
    PROTO_FULL(ap, 0, reinterpret_cast<uint8_t*>(a));
    ap->op = FM_OP_EQUAL;
    if (fm_read(ap)) have_app = true;
    else if (ap->status != FM_ST_NO_RECORD) dd_fail(ap->status, "Read Ap file ", kMod, __LINE__);
  }
  if (!have_app && !is_system_app(sapp) && check_appl) {
    err_dom(r, 100730, d);
    return false;
  }
  if (!have_app && !is_system_app(sapp)) return false;
  FmArb* sd = open_dsgn_fi(r, "INIT_DDOM_FDB", sapp, r->ver, &st);
  if (!sd) {
    dd_err(r, st, 2, d->name.data(), 22);
    return false;
  }
  std::memcpy(src->name.data(), d->src_name.data(), 22);
  PROTO_FULL(sd, 1, reinterpret_cast<uint8_t*>(src));
  sd->op = FM_OP_EQUAL;
  if (!fm_read(sd)) {
    if (sd->status == FM_ST_NO_RECORD) err_dom(r, 100740, d);
    else if (sd->status == FM_ST_LOCKED) err_dom(r, 200530, d);
    else dd_fail(sd->status, "Read domain file", kMod, __LINE__);
    return false;
  }
  if (src->kind == 0) {
    err_dom(r, 100190, d);
    return false;
  }
  if (src_dom) *src_dom = sd;
  return true;
}

// The refreshed copy of an inherited domain for the domain run: the source
// with the domain's own identity and kept bytes.
void refreshed(const DDomain* own, const DDomain* src, DDomain* out) {
  *out = *src;
  out->cls = own->cls;
  out->name = own->name;
  out->b56 = own->b56;
  out->src_app = own->src_app;
  out->src_name = own->src_name;
  out->b500 = own->b500;
  out->b527 = own->b527;
  out->b563 = own->b563;
  out->b568 = own->b568;
  out->b580 = own->b580;
  out->decl_kind = own->decl_kind;
}

// Copies of cmpl_dom: what an inherited domain takes from its source.
void inherit(DDomain* d, const DDomain* s) {
  d->dflt_len = s->dflt_len;
  d->storage = s->storage;
  d->label = s->label;
  d->heading1 = s->heading1;
  d->heading2 = s->heading2;
  d->mask = s->mask;
  d->mask2 = s->mask2;
  d->b206 = s->b206;
  d->initial = s->initial;
  d->null_value = s->null_value;
  d->case_code = s->case_code;
  d->justify = s->justify;
  d->b495 = s->b495;
  d->fill = s->fill;
  d->squeeze = s->squeeze;
  d->rng_code1 = s->rng_code1;
  d->rng_code2 = s->rng_code2;
  d->rng_value1 = s->rng_value1;
  d->rng_value2 = s->rng_value2;
  d->kind = s->kind;
  if (d->cls != '0') d->b500 = s->b500;
  d->b501 = s->b501;
  d->b505 = s->b505;
  d->b512 = s->b512;
  d->b520 = s->b520;
  d->b533 = s->b533;
  d->b576 = s->b576;
  d->b580 = s->b580;
  d->alpha_kind = s->alpha_kind;
  d->token = s->token;
}

// Copies the source domain's tokens under the domain's name.
void copy_tokens(DdRun* r, const DDomain* d, const DDomain* s) {
  uint32_t st = 0;
  char sapp[4] = {};
  std::memcpy(sapp, d->src_app.data(), 3);
  FmArb* from = open_dsgn_fi(r, "INIT_DTOKEN_FDB", sapp, r->ver, &st);
  if (!from || !r->token) return;
  auto* t = buf<CvTokenRec>(r);
  Free ft{t};
  // The domain's own tokens go first.
  for (;;) {
    std::memset(t, ' ', sizeof *t);
    t->cls = d->cls;
    std::memcpy(t->group.data(), d->name.data(), 22);
    PROTO_FULL(r->token, 0, reinterpret_cast<uint8_t*>(t));
    r->token->key.set(reinterpret_cast<uint8_t*>(t));
    r->token->key_len = 23;
    r->token->op = FM_OP_KEY | FM_OP_GE | FM_OP_HOLD;
    if (!fm_read(r->token) || t->cls != d->cls || std::memcmp(t->group.data(), d->name.data(), 22)) {
      fm_release(r->token);
      break;
    }
    if (!fm_del(r->token)) dd_fail(r->token->status, "Bad token attach ", kMod, __LINE__);
  }
  std::memset(t, ' ', sizeof *t);
  t->cls = s->cls;
  std::memcpy(t->group.data(), s->name.data(), 22);
  PROTO_FULL(from, 0, reinterpret_cast<uint8_t*>(t));
  from->key.set(reinterpret_cast<uint8_t*>(t));
  from->key_len = 23;
  from->op = FM_OP_AT | FM_OP_KEY;
  if (!fm_start(from)) dd_fail(from->status, "Bad TOKEN open ", kMod, __LINE__);
  auto* w = buf<CvTokenRec>(r);
  Free fw{w};
  for (;;) {
    from->op = 0;
    if (!fm_rdnxt(from)) break;
    if (t->cls != s->cls || std::memcmp(t->group.data(), s->name.data(), 22)) break;
    *w = *t;
    w->cls = d->cls;
    std::memcpy(w->group.data(), d->name.data(), 22);
    PROTO_FULL(r->token, 0, reinterpret_cast<uint8_t*>(w));
    if (!fm_write(r->token)) dd_fail(r->token->status, "Bad write ", kMod, __LINE__);
  }
}

}  // namespace

// ---------------------------------------------------------- domain run --

void vfy_dom(DdRun* r) {
  auto* d = buf<DDomain>(r);
  Free fd{d};
  PROTO_FULL(r->dom, 0, reinterpret_cast<uint8_t*>(d));
  r->dom->op = FM_OP_FIRST;
  if (!fm_start(r->dom)) dd_fail(r->dom->status, "Bad start ", kMod, __LINE__);
  for (;;) {
    r->dom->op = FM_OP_HOLD | FM_OP_WAIT;
    PROTO_FULL(r->dom, 0, reinterpret_cast<uint8_t*>(d));
    r->dom->op = FM_OP_HOLD | FM_OP_WAIT;
    if (!fm_rdnxt(r->dom)) {
      if (r->dom->status != FM_ST_EOF) dd_fail(r->dom->status, "Read domain file", kMod, __LINE__);
      break;
    }
    bool must = dd_stamp_unset(d->stamp.data());
    if (d->decl_kind != 0) {
      if (!must) {
        fm_release(r->dom);
        continue;
      }
      bool used = false;
      each_user(r, d, [&](FmArb* s, DField*) {
        used = true;
        fm_release(s);
        return false;
      });
      if (!used) {
        cmpl_dom(r, d);
        continue;
      }
    } else {
      auto* src = buf<DDomain>(r);
      Free fs{src};
      auto* copy = buf<DDomain>(r);
      Free fc{copy};
      if (source_of(r, d, src, true, nullptr)) {
        refreshed(d, src, copy);
        if (std::memcmp(copy, d, sizeof(DDomain)) != 0) {
          std::memset(copy->stamp.data(), 0xFF, 8);
          if (std::memcmp(copy, d, sizeof(DDomain)) != 0) {
            *d = *copy;
            if (!fm_rewrite(r->dom)) dd_fail(r->dom->status, "bad dom rewrite", kMod, __LINE__);
            continue;
          }
        }
      }
    }
    if (!fm_release(r->dom)) dd_fail(r->dom->status, "Bad release ", kMod, __LINE__);
  }
}

bool get_ddom(DdRun* r, const DField* f, DDomain* out) {
  auto* d = buf<DDomain>(r);
  Free fd{d};
  d->cls = f->dom_class;
  std::memcpy(d->name.data(), f->domain.data(), 22);
  PROTO_FULL(r->dom, 0, reinterpret_cast<uint8_t*>(d));
  r->dom->op = FM_OP_EQUAL | FM_OP_HOLD;
  if (!fm_read(r->dom)) {
    uint32_t st = r->dom->status;
    if (st == FM_ST_NO_RECORD) {
      dd_err(r, 100230, 3, f->name.data(), 22);
      return false;
    }
    if (st == FM_ST_LOCKED || st == FM_ST_HELD_SELF) {
      fm_release(r->dom);
      dd_err(r, 200530, 2, f->domain.data(), 22);
      return false;
    }
    dd_fail(st, "Read domain file", kMod, __LINE__);
  }
  bool ok = true;
  if (dd_stamp_unset(d->stamp.data())) ok = cmpl_dom(r, d);
  else fm_release(r->dom);
  *out = *d;
  return ok;
}

// The domain is the record held on r->dom; it is rewritten (or released).
bool cmpl_dom(DdRun* r, DDomain* d) {
  if (r->standalone) std::printf("\t\t\t%.*s (domain)\n", int(dd_trim_len(d->name.data(), 22)), d->name.data());
  // Every user must compile again.
  FmArb* fs = FM_ATTACH(r->file, nullptr, com.depth);
  if (!fs) dd_fail(r->file->status, "bad file fm_attach", kMod, __LINE__);
  auto* fi = buf<DFile>(r);
  Free ff{fi};
  each_user(r, d, [&](FmArb* s, DField* f) {
    if (f->work[0] == '1') {
      if (!dd_stamp_unset(f->cmpl_stamp.data())) {
        std::memset(f->cmpl_stamp.data(), 0xFF, 8);
        if (!fm_rewrite(s)) dd_fail(s->status, "bad field constraint", kMod, __LINE__);
      } else {
        fm_release(s);
      }
      return true;
    }
    fm_release(s);
    std::memcpy(fi->name.data(), f->file.data(), 8);
    PROTO_FULL(fs, 0, reinterpret_cast<uint8_t*>(fi));
    fs->op = FM_OP_EQUAL | FM_OP_HOLD | FM_OP_WAIT;
    if (fm_read(fs)) {
      if (!dd_stamp_unset(fi->cmpl_stamp.data())) {
        std::memset(fi->cmpl_stamp.data(), 0xFF, 8);
        if (!fm_rewrite(fs)) dd_fail(fs->status, "bad file open", kMod, __LINE__);
      } else {
        fm_release(fs);
      }
    } else if (fs->status != FM_ST_NO_RECORD) {
      dd_fail(fs->status, "bad file open", kMod, __LINE__);
    }
    return true;
  });
  fm_detach(fs);
  bool ok = true;
  if (d->decl_kind != 0) {
    d->kind = d->decl_kind;
    dd_stamp(d->stamp.data());
  } else {
    auto* src = buf<DDomain>(r);
    Free fsrc{src};
    FmArb* sdom = nullptr;
    bool never = d->kind == 0;
    if (source_of(r, d, src, never, &sdom)) {
      inherit(d, src);
      d->stamp = src->stamp;
      if (d->kind == 4) copy_tokens(r, d, src);
    } else {
      ok = !never && d->kind != 0;
    }
    if (ok && dd_stamp_unset(d->stamp.data())) dd_stamp(d->stamp.data());
  }
  if (!ok) {
    fm_release(r->dom);
    return false;
  }
  PROTO_FULL(r->dom, 0, reinterpret_cast<uint8_t*>(d));
  if (!fm_rewrite(r->dom)) dd_fail(r->dom->status, "bad dom rewrite", kMod, __LINE__);
  return true;
}

// ------------------------------------------------------------- storage --

namespace {

// Unit codes of a date mask: largest and smallest, Julian day; false for a
// token that is no unit code.
bool date_units(const char* mask, int n, int* hi, int* lo, bool* julian) {
  *hi = 0;
  *lo = 9;
  *julian = false;
  auto unit = [&](int u) {
    *hi = std::max(*hi, u);
    *lo = std::min(*lo, u);
  };
  for (int i = 0; i < n;) {
    char c = mask[i];
    if (c == '\\') {
      i += 2;
    } else if (c == '"') {
      ++i;
      while (i < n && mask[i] != '"') ++i;
      ++i;
    } else if (c >= '0' && c <= '9') {
      if (c == '0' && i + 2 < n && mask[i + 1] == '0' && mask[i + 2] == '5') {
        unit(5);
        *julian = true;
        i += 3;
      } else if (i + 1 < n && c == '0' && mask[i + 1] >= '1' && mask[i + 1] <= '8') {
        unit(mask[i + 1] - '0');
        i += 2;
      } else if (i + 1 < n && c >= '1' && c <= '8' && mask[i + 1] == c) {
        unit(c - '0');
        i += 2;
      } else {
        return false;
      }
    } else {
      ++i;
    }
  }
  return *hi > 0;
}

// Highest token number of a domain; -1 when it has none.
int64_t highest_token(DdRun* r, const DDomain* d) {
  auto* t = buf<CvTokenRec>(r);
  Free ft{t};
  t->cls = d->cls;
  std::memcpy(t->group.data(), d->name.data(), 22);
  PROTO_FULL(r->token, 0, reinterpret_cast<uint8_t*>(t));
  r->token->key.set(reinterpret_cast<uint8_t*>(t));
  r->token->key_len = 23;
  r->token->op = FM_OP_AT | FM_OP_KEY;
  if (!fm_start(r->token)) dd_fail(r->token->status, "Bad start ", kMod, __LINE__);
  int64_t high = -1;
  for (;;) {
    r->token->op = 0;
    if (!fm_rdnxt(r->token)) break;
    if (t->cls != d->cls || std::memcmp(t->group.data(), d->name.data(), 22)) break;
    high = std::max<int64_t>(high, t->number.get());
  }
  return high;
}

}  // namespace

bool parse_msk(DdRun* r, DdMelem* m, const DDomain* d) {
  DElem& e = m->e;
  const char* mask = d->mask.data();
  int mlen = int(dd_trim_len(mask, 60));
  bool ok = true;
  switch (d->kind.get()) {
    case 2: {
      int hi, lo;
      bool jul;
      int type = 0;
      if (date_units(mask, mlen, &hi, &lo, &jul)) {
        e.digits = uint8_t(hi);
        e.decimals = uint8_t(lo);
        switch (d->storage.get()) {
          case 1: type = jul ? kDtBinJul : kDtBin; break;
          case 2: type = jul ? kDtPackedJul : kDtPacked; break;
          case 3: type = jul ? kDtTextJul : kDtText; break;
        }
      }
      e.type = uint8_t(type);
      e.length = uint16_t(type ? cv_date_stored_len(type, hi, lo, jul) : 0);
      break;
    }
    case 1: {
      if (d->storage == 3) {
        e.type = 12;
        e.length = 9;
        e.digits = 15;
        e.decimals = 15;
        e.sign = '1';
        m->sign = 1;
        break;
      }
      if (mlen == 0) {
        err_fld(r, 100420, m);
        return false;
      }
      int ints = 0, decs = 0;
      bool point = false, sign = false;
      for (int i = 0; i < mlen; ++i) {
        char c = mask[i];
        if (c == '(' || c == ')' || c == '-' || c == '<' || c == '>') sign = true;
        else if (c == '.') point = true;
        else if (c == '*' || c == '0' || c == '8' || c == '9') (point ? decs : ints)++;
      }
      int nulls = 0;
      const char* nv = d->null_value.data();
      bool npoint = false;
      for (int i = 0; i < 33; ++i) {
        if (nv[i] == '-') sign = true;
        else if (nv[i] == '.') npoint = true;
        else if (nv[i] >= '0' && nv[i] <= '9' && !npoint) ++nulls;
      }
      m->int_digits = uint8_t(ints);
      m->null_digits = uint8_t(nulls);
      m->sign = sign;
      e.sign = sign ? '1' : '0';
      int digits = std::max(ints, nulls);
      e.digits = uint8_t(digits);
      e.decimals = uint8_t(decs);
      if (digits + decs >= 16) {
        err_fld(r, 102150, m);
        return false;
      }
      if (d->storage == 2) {
        e.type = 8;
        e.length = uint16_t((decs + digits + 2) / 2);
      } else if (d->storage == 1) {
        e.type = 5;
        int n = digits + decs;
        int64_t max = 1;
        for (int i = 0; i < n && i < 10; ++i) max *= 10;
        max -= 1;
        int64_t min;
        if (n > 9) {
          max = sign ? INT32_MAX : int64_t(UINT32_MAX);
          min = sign ? INT32_MIN : 0;
        } else {
          min = sign ? -max : 0;
        }
        int ndl = int(dd_trim_len(nv, 33));
        const char* np = nv;
        while (ndl > 0 && *np == ' ') ++np, --ndl;
        if (ndl > 0) {
          uint32_t msg = 0;
          int64_t v = 0;
          if (!bin_etoi(np, nullptr, decs, ndl, 4, sign, &msg, &v)) {
            dd_err(r, msg, 2, d->name.data(), 22);
            ok = false;
          } else {
            min = std::min(min, v);
            max = std::max(max, v);
          }
        }
        if (d->rng_code1 != 255 && d->rng_code1 != 0 &&
            !vfy_dom_rng(r, d->rng_value1.data(), 30, d->rng_code1, m, &min, &max))
          ok = false;
        if (d->rng_code2 != 255 && d->rng_code2 != 0 &&
            !vfy_dom_rng(r, d->rng_value2.data(), 30, d->rng_code2, m, &min, &max))
          ok = false;
        if (!sign) e.length = max <= 255 ? 1 : max <= 65535 ? 2 : 4;
        else e.length = (min >= -128 && max <= 127) ? 1 : (min >= -32768 && max <= 32767) ? 2 : 4;
      } else {
        e.type = 0;
        e.length = 0;
      }
      break;
    }
    case 3:
      e.type = 11;
      e.length = 1;
      break;
    case 4:
      e.type = 1;
      switch (d->alpha_kind.get()) {
        case 1: e.length = 4; e.case_code = 0; e.justify = 2; e.entry_flag = '0'; e.fill = '0'; break;
        case 2: e.length = 3; e.case_code = 1; e.justify = 1; e.entry_flag = '0'; e.fill = ' '; break;
        case 3:
          e.length = uint16_t(d->dflt_len ? d->dflt_len.get() : 256);
          e.case_code = 1; e.justify = 1; e.entry_flag = '1'; e.fill = ' ';
          break;
        case 0: {
          e.case_code = d->case_code;
          e.justify = d->justify;
          e.entry_flag = uint8_t(d->b495[0]);
          e.fill = uint8_t(d->fill[0]);
          if (d->storage == 1) {
            e.length = uint16_t(mlen ? mlen : d->dflt_len.get());
            if (r->token && highest_token(r, d) >= 0) e.token_mark = e.length;
          } else if (d->storage == 2 || d->storage == 3) {
            int marks = 0;
            for (int i = 0; i < mlen; ++i) marks += mask[i] != '*';
            e.token_mark = uint16_t(mlen ? marks : d->dflt_len.get());
            if (!r->token) {
              dd_err(r, 100780, 2, d->name.data(), 22);
              return false;
            }
            int64_t high = highest_token(r, d);
            e.type = 5;
            e.sign = '1';
            m->sign = 1;
            e.decimals = 0;
            if (high < 128) {
              e.length = 1;
              e.digits = high <= 9 ? 1 : high <= 99 ? 2 : 3;
            } else if (high <= 32767) {
              e.length = 2;
              e.digits = high <= 999 ? 3 : high <= 9999 ? 4 : 5;
            } else {
              e.length = 4;
              e.digits = high <= 99999 ? 5 : high <= 999999 ? 6 : 10;
            }
          } else {
            dd_err(r, 100560, 2, d->name.data(), 22);
            return false;
          }
          break;
        }
        default:
          err_fld(r, 100360, m);
          return false;
      }
      break;
    default:
      dd_err(r, 100100, 2, d->name.data(), 22);
      return false;
  }
  if (e.length == 0) {
    err_fld(r, 102650, m);
    return false;
  }
  return ok;
}

// --------------------------------------------------------------- ranges --

bool vfy_fld_rng(DdRun* r, const DField* f, const DDomain* d, DdMelem* m) {
  DElem& e = m->e;
  bool lo = f->low_given != 255, hi = f->high_given != 255;
  switch (d->kind.get()) {
    case 1: {
      bool lok = !lo || vfy_no_rng(r, f->low.data(), 30, m);
      bool hok = !hi || vfy_no_rng(r, f->high.data(), 30, m);
      return lok || hok;
    }
    case 2: {
      bool ok = true;
      for (int i = 0; i < 2; ++i) {
        if (!(i ? hi : lo)) continue;
        const char* t = i ? f->high.data() : f->low.data();
        uint8_t date[8];
        size_t n = dd_trim_len(t, 30);
        if (n > 16 || !cv_date_from_universal(t, n, date)) {
          err_fld(r, 100320, m);
          ok = false;
        }
      }
      return ok;
    }
    case 4: {
      if (!lo && !hi) return true;
      if (d->token || e.token_mark) {
        dd_err(r, 100620, 2, d->name.data(), 22);
        return false;
      }
      bool ok = true;
      if ((lo && dd_trim_len(f->low.data(), 30) > e.length) || (hi && dd_trim_len(f->high.data(), 30) > e.length)) {
        err_fld(r, 100070, m);
        ok = false;
      }
      return ok;
    }
    default: return true;
  }
}

bool vfy_no_rng(DdRun* r, const char* text, size_t len, DdMelem* m) {
  DElem& e = m->e;
  size_t n = dd_trim_len(text, len);
  while (n > 0 && *text == ' ') ++text, --n;
  int ints = 0, decs = 0;
  bool point = false, neg = false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') (point ? decs : ints)++;
    else if (c == '.') point = true;
    else if (c == '-') neg = true;
    else {
      err_fld(r, 100490, m);
      return false;
    }
  }
  if (ints > m->int_digits) {
    err_fld(r, 100520, m);
    return false;
  }
  if (decs > e.decimals) {
    err_fld(r, 100510, m);
    return false;
  }
  if (neg && e.sign != '1') {
    err_fld(r, 100530, m);
    return false;
  }
  if (e.type == 5) {
    uint32_t msg = 0;
    int64_t v = 0;
    if (!bin_etoi(text, nullptr, e.decimals, int(n), 4, e.sign == '1', &msg, &v)) {
      err_fld(r, msg == 100680 ? 100680 : msg, m);
      return false;
    }
    bool fits = e.sign == '1' ? (e.length == 1 ? v >= -128 && v <= 127 : e.length == 2 ? v >= -32768 && v <= 32767 : true)
                              : (e.length == 1 ? v < 256 : e.length == 2 ? v < 65536 : true);
    if (!fits) {
      err_fld(r, 100680, m);
      return false;
    }
  }
  return true;
}

bool vfy_dom_rng(DdRun* r, const char* text, size_t len, int code, DdMelem* m, int64_t* min, int64_t* max) {
  size_t n = dd_trim_len(text, len);
  while (n > 0 && *text == ' ') ++text, --n;
  if (n == 0) return true;
  uint32_t msg = 0;
  int64_t v = 0;
  if (!bin_etoi(text, nullptr, m->e.decimals, int(n), 4, m->sign != 0, &msg, &v)) {
    err_fld(r, msg, m);
    return false;
  }
  bool sign = m->sign != 0;
  switch (code) {
    case 1: *min = *max = v; break;
    case 2: if (sign) *min = std::max(*min, v); break;
    case 3: if (sign) *min = std::max(*min, v + 1); break;
    case 4: *max = std::min(*max, v); break;
    case 5: *max = std::min(*max, v - 1); break;
    default: dd_sys_err(kMod, __LINE__, "dd1, vfy_dom_rng entered default in switch");
  }
  return true;
}
