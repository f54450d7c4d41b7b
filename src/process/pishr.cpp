// Process data areas and sharing: see pishr.h.
#include "process/pishr.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/pigetd.h"
#include "process/piexec.h"
#include "process/pl.h"
#include "process/services.h"

uint8_t saa_non_shr_tbl[117];
const uint8_t saa_pass_tbl[3] = {0x70, 0x60, 0x40};
const uint8_t saa_rcv_tbl[3] = {0x08, 0x0C, 0x0E};

namespace {
constexpr const char* kMod = "PISHR.C";

void sys_err(int line, const char* text) {
  std::snprintf(ut_dbg, sizeof ut_dbg, "%s", text);
  os_sys_err(kMod, line);
}

EmAreaEntry* area_table(EmHeader* em) {
  return em ? reinterpret_cast<EmAreaEntry*>(em->area_table.get()) : nullptr;
}

// The module's entry whose area address is index n (the whole area).
const EmAreaEntry* entry_of(EmHeader* em, uint32_t n) {
  EmAreaEntry* t = area_table(em);
  if (!t) return nullptr;
  for (uint32_t i = 1; i <= em->n_areas; ++i)
    if (t[i].index == n && t[i].sub == 0) return &t[i];
  return nullptr;
}

// The caller's area of the same class, application and number, with its
// size; null when the caller has none.
uint8_t* caller_area(Pcb* caller, const EmAreaEntry& e, uint32_t* size, uint32_t* index = nullptr) {
  EmHeader* em = caller ? caller->module.get() : nullptr;
  EmAreaEntry* t = area_table(em);
  if (!t || !caller->area_addr) return nullptr;
  for (uint32_t i = 1; i <= em->n_areas; ++i) {
    const EmAreaEntry& c = t[i];
    if (c.sub != 0 || c.aclass != e.aclass || c.number != e.number || !(c.app == e.app.view())) continue;
    if (c.index > em->n_areas) return nullptr;
    *size = c.size;
    if (index) *index = c.index;
    return caller->area_addr.get()[c.index].get();
  }
  return nullptr;
}
void free_qry_scb(Pcb* pcb) {
  if (void* q = pcb->query_scb.get()) mm_free(q);
  pcb->query_scb.reset();
}

// The type 3 block at the head of the chain, when the invocation names a
// query and the process is not in automatic mode.
void bld_qry_scb(Pcb* pcb) {
  free_qry_scb(pcb);
  const PiInvoc& v = pcb->invoc;
  if (v.query_app.blank() || v.auto_mode) return;
  auto* q = static_cast<PiQryScb*>(MM_ALLOC(pi_pool(), sizeof(PiQryScb)));
  std::memset(static_cast<void*>(q), 0, sizeof *q);
  q->type = 3;
  q->next = pcb->cns_scb;
  // The scope of the pool of the class 7 areas' owner: every PCB's areas
  // come from the one process pool of the base scope.
  q->scope = uint32_t(mm_pool_scope(pi_pool()));
  q->app = v.query_app;
  auto* id = pi_area_rec<PdArea13>(pcb, 13);
  q->ver = id ? id->ver : v.ver;
  q->name = v.query_name;
  q->reserved = v.reserved3;
  int t = v.type;
  q->level_events = (t == 3 || t == 4 || t == 7) ? 1 : 0;
  q->reuse = v.query_reuse;
  pcb->query_scb.set(q);
}

void free_cns_scb(Pcb* pcb) {
  auto* b = static_cast<PiCnsScb*>(pcb->cns_scb.get());
  if (!b) return;
  if (b->values) mm_free(b->values.get());
  if (b->entries) mm_free(b->entries.get());
  mm_free(b);
  pcb->cns_scb.reset();
}

// The type 4 block of the key constraints handed down: the values used,
// concatenated, and their 6-byte entries (in automatic mode only those in
// use).
void bld_cns_scb(Pcb* pcb) {
  free_cns_scb(pcb);
  const PiInvoc& v = pcb->invoc;
  const uint8_t* pos = v.cns_positions.get();
  const uint8_t* desc = v.cns_descs.get();
  const uint8_t* values = v.cns_values.get();
  if (v.cns_count == 0 || !pos || !desc || !values) return;
  MmPool pool = pi_pool();
  auto* b = static_cast<PiCnsScb*>(MM_ALLOC(pool, sizeof(PiCnsScb)));
  std::memset(static_cast<void*>(b), 0, sizeof *b);
  b->type = 4;
  auto* text = static_cast<uint8_t*>(MM_ALLOC(pool, v.cns_total ? v.cns_total : 1));
  auto* ent = static_cast<uint8_t*>(MM_ALLOC(pool, 6 * size_t(v.cns_count)));
  uint32_t at = 0, used = 0;
  for (uint32_t i = 0; i < v.cns_count; ++i) {
    const auto& d = rec::view<PiCnsDesc>(const_cast<uint8_t*>(desc) + 16 * i);
    if (v.auto_mode && !d.in_use) continue;
    uint32_t len = d.length;
    if (uint64_t(d.value_at) + len > v.cns_total || uint64_t(at) + len > v.cns_total) continue;
    std::memcpy(text + at, values + d.value_at, len);
    std::memcpy(ent + 6 * used, pos + 6 * i, 6);
    at += len;
    ++used;
  }
  if (used == 0) {
    mm_free(text);
    mm_free(ent);
    mm_free(b);
    return;
  }
  b->length = at;
  b->values.set(text);
  b->used = used;
  b->entries.set(ent);
  pcb->cns_scb.set(b);
}

template <class T, class F>
void each_rec(FmArb* f, F fn) {
  if (!f || !fm_is_handle(f)) return;
  std::vector<T*> v;
  f->key_no = 0;
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(f, 0)) v.push_back(reinterpret_cast<T*>(p));
  f->op = 0;
  for (T* r : v)
    if (fn(r)) return;
}

}  // namespace

void init_area(uint8_t* a, Pcb* pcb, const EmAreaEntry& e) {
  std::memset(a, 0, e.size);
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  if (!em || e.sub != 0 || e.kind != 0) return;
  uint32_t id = uint32_t(e.aclass) * 1000000u + e.number;
  if (e.source == 1) {
    // A file's record: its INITIAL image (kept by the file manager while
    // the module is cached; this use is given back at once).
    bool found = false;
    each_rec<EmCfi>(em->cfi.get(), [&](EmCfi* r) {
      if (!(r->fdb.app == e.app.view()) || r->rec_area != id) return false;
      found = true;
      FmFdb f = r->fdb;
      if (const uint8_t* img = fm_cache(&f, 1)) {
        std::memcpy(a, img, std::min<size_t>(e.size, f.rec_len ? f.rec_len : e.size));
        fm_uncache(img);
      }
      return true;
    });
    if (!found) sys_err(__LINE__, "init_area() - Cannot read cfi_rec");
  } else if (e.source == 2) {
    // Work fields: the field's initial constant once per occurrence; a
    // blank constant of an occurrence longer than 255 bytes blanks it all.
    bool found = false;
    each_rec<EmCfld>(em->cfld.get(), [&](EmCfld* r) {
      if (!(r->app == e.app.view()) || r->area != id) return false;
      found = true;
      FmArb* cn = em->cnst.get();
      uint32_t occ = r->occurs ? r->occurs.get() : 1u;
      size_t len = e.size / occ;
      uint32_t key = r->k42;
      const uint8_t* c = nullptr;
      size_t clen = 0;
      if (key >= uint32_t(kComCnstBase)) {
        c = com_cnst(key);
        clen = len;
      } else if (cn && key) {
        c = MADDR(cn, key);
        clen = c ? cn->len_read : 0;
      }
      if (!c || len == 0) return true;
      clen = std::min(clen, len);
      if (len > 255 && clen > 0 && ut_is_all(c, ' ', clen)) {
        std::memset(a, ' ', e.size);
        return true;
      }
      for (uint32_t i = 0; i < occ; ++i) std::memcpy(a + i * len, c, clen);
      return true;
    });
    if (!found) sys_err(__LINE__, "init_area() - Cannot read cfld_rec");
  }
}

void init_pdf(Pcb* pcb) {
  const PiInvoc& v = pcb->invoc;
  if (auto* id = pi_area_rec<PdArea13>(pcb, 13)) {
    id->app = v.app;
    id->ver = v.ver;
    id->type = v.type;
    id->name = v.name;
  }
  // A SUBPROCESS keeps the rest as its caller has it.
  if (v.kind == 0) return;
  Pcb* parent = static_cast<Pcb*>(v.parent_pcb.get());
  const DUser* u = pi_get_dusr(com.user_id.data());
  if (auto* a5 = pi_area_rec<PdArea5>(pcb, 5)) {
    a5->user = com.user_id;
    if (u) {
      a5->user_name = u->name;
      a5->profile = u->profile;
    }
  }
  // The database: the caller's (for this kind) as the defaults took it,
  // else the start-up database, else the user's.
  char db[3] = {' ', ' ', ' '};
  if (parent) {
    auto* p5 = pi_area_rec<PdArea5>(parent, 5);
    auto* p9 = pi_area_rec<PdArea9>(parent, 9);
    if (p5 && !p5->db.blank()) std::memcpy(db, p5->db.data(), 3);
    else if (p9) std::memcpy(db, p9->cur_db.data(), 3);
  } else if (!com.startup_db.blank()) {
    std::memcpy(db, com.startup_db.data(), 3);
  } else if (u) {
    std::memcpy(db, u->db.data(), 3);
  }
  const DDatabase* d = nullptr;
  if (std::memcmp(db, "   ", 3) != 0 && !(d = pi_get_ddb(db))) sys_err(__LINE__, "init_pdf() - invalid database");
  if (auto* a5 = pi_area_rec<PdArea5>(pcb, 5)) std::memcpy(a5->db.data(), db, 3);
  auto* a9 = pi_area_rec<PdArea9>(pcb, 9);
  if (a9) {
    std::memcpy(a9->cur_db.data(), db, 3);
    const DDbxap* x = d ? pi_get_ddbxap(db, v.app.data()) : nullptr;
    a9->db_opts = x ? uint8_t(x->phase) : uint8_t(2);
  }
  // The application in use: the process's own, a system application's
  // that of its database, else the user's.
  if (auto* a11 = pi_area_rec<PdArea11>(pcb, 11)) {
    if (!IS_ZUB_AP(v.app.data())) {
      a11->app = v.app;
      a11->ver = v.ver;
    } else if (d) {
      a11->app = d->app;
      a11->ver = d->ver;
    } else if (u && !u->app.blank()) {
      a11->app = u->app;
      a11->ver.set("00");
    }
  }
  if (v.kind == 2) proc_svc.rt_dflt_disp(pcb, db);
  if (a9) a9->lang = pcb->lang;
}

void bld_rng(Pcb* pcb) {
  if (!pcb) {
    sys_err(__LINE__, "NULL pcb pointer");
    return;
  }
  if (void* t = pcb->break_tbl.get()) mm_free(t);
  pcb->break_tbl.reset();
  pcb->break_count = 0u;
}

// ------------------------------------------------------- sharing tables --
void pi_tbl_init() {
  for (int k = 0; k < 3; ++k)
    for (int p = 0; p < 3; ++p)
      for (int c = 0; c < kSaaClasses; ++c) {
        bool shared = false;
        if (c != 0) {
          int reach = (c - 1) / 4 + 1, level = (c - 1) % 4;
          shared = reach >= k + 1 && level >= 3 - p;
        }
        saa_non_shr_tbl[k * 39 + p * 13 + c] = shared ? 0 : 1;
      }
}

bool pi_class_shared(int kind, int proc_class, int area_class) {
  if (kind < 0 || kind > 2 || proc_class < 0 || proc_class > 2 || area_class < 0 || area_class >= kSaaClasses)
    return false;
  return saa_non_shr_tbl[kind * 39 + proc_class * 13 + area_class] == 0;
}

uint8_t* pi_area(Pcb* pcb, uint32_t n, size_t size) {
  if (!pcb || !pcb->area_addr) return nullptr;
  EmHeader* em = pcb->module.get();
  if (!em || n == 0 || n > em->n_areas) return nullptr;
  const EmAreaEntry* e = entry_of(em, n);
  if (!e || e->size < size) return nullptr;
  return pcb->area_addr.get()[n].get();
}

// ------------------------------------------------------------- the areas --
uint32_t pi_shr_data(Pcb* pcb, int proc_scope, int sub_scope) {
  (void)sub_scope;
  EmHeader* em = pcb->module.get();
  MmPool pool = pi_pool();
  uint32_t n = em ? uint32_t(em->n_areas) : 0;
  Pcb* caller = static_cast<Pcb*>(pcb->invoc.parent_pcb.get());
  if (caller && pcb->invoc.independent) proc_svc.qp_copy_pend(proc_scope, com.proc_scope);
  if (!pcb->area_addr) {
    auto* addr = static_cast<Ref<uint8_t>*>(MM_ALLOC(pool, 4 * (n + 1)));
    std::memset(static_cast<void*>(addr), 0, 4 * (n + 1));
    auto* own = static_cast<uint8_t*>(MM_ALLOC(pool, n + 1));
    std::memset(own, 0, n + 1);
    pcb->area_addr.set(addr);
    pcb->area_own.set(own);
    // The message file of the process and the four previous ones.
    if (!pcb->msg_file) pcb->msg_file.set(la_create_fi(79, proc_scope));
    for (auto& m : pcb->prev_msg)
      if (!m) m.set(la_create_fi(79, proc_scope));
  }
  Ref<uint8_t>* addr = pcb->area_addr.get();
  uint8_t* own = pcb->area_own.get();
  EmAreaEntry* t = area_table(em);
  int kind = pcb->invoc.kind;
  int pclass = em ? em->proc_class : 0;
  uint32_t total = 0;
  uint8_t* last_whole = nullptr;
  for (uint32_t i = 1; t && i <= n; ++i) {
    const EmAreaEntry& e = t[i];
    uint32_t ix = e.index;
    if (ix == 0 || ix > n) {
      sys_err(__LINE__, "pi_shr_data() - bad area index");
      continue;
    }
    if (e.sub != 0) {
      if (last_whole) addr[ix].set(last_whole + e.sub);
      continue;
    }
    bool shared = e.kind < 2 && caller && !pcb->invoc.independent && pi_class_shared(kind, pclass, e.aclass);
    uint32_t csize = 0, cix = 0;
    uint8_t* from = caller && !pcb->invoc.independent ? caller_area(caller, e, &csize, &cix) : nullptr;
    uint8_t* cown = from ? caller->area_own.get() : nullptr;
    if (shared && from && cown && cown[cix] && pcb->invoc.caller_mode == 2 && caller->family != pcb->family &&
        caller->heads_family) {
      // The child replaces a caller that heads another family: it takes
      // the caller's area over, and the caller's slot loses its address.
      if (own[ix] && addr[ix] && addr[ix].get() != from) mm_free(addr[ix].get());
      cown[cix] = 0;
      caller->area_addr.get()[cix].reset();
      own[ix] = 1;
      addr[ix].set(from);
      last_whole = from;
      continue;
    }
    if (shared && from) {
      // The caller's own area (a reused PCB that owned an area of this
      // number before gives it back first).
      if (own[ix] && addr[ix]) mm_free(addr[ix].get());
      own[ix] = 0;
      addr[ix].set(from);
      last_whole = from;
      continue;
    }
    if (!own[ix] || !addr[ix]) {
      auto* a = static_cast<uint8_t*>(MM_ALLOC(pool, e.size ? e.size : 1));
      addr[ix].set(a);
      own[ix] = 1;
      total += e.size;
    }
    uint8_t* a = addr[ix].get();
    // A handed-down value: the caller passes it at this reach and this
    // process class receives it (invariant 3).
    // Initialised first: what the caller hands down is copied over it.
    init_area(a, pcb, e);
    if (from && e.kind == 0 && (e.non_shr & saa_rcv_tbl[std::clamp(pclass, 0, 2)]) != 0 &&
        kind >= 0 && kind <= 2 && (e.shr & saa_pass_tbl[kind]) != 0)
      std::memcpy(a, from, std::min<size_t>(csize, e.size));
    last_whole = a;
  }
  init_pdf(pcb);
  bld_cns_scb(pcb);
  bld_qry_scb(pcb);
  // The constraints handed down must be on the process's own file.
  if (pcb->invoc.cns_count != 0 && em &&
      (!(pcb->invoc.pcf_app == em->pcf_app.view()) || pcb->invoc.pcf_file != em->pcf_file)) {
    if (caller && caller->msg_file) la_add_msg(3, caller->msg_file.get(), 200750, 0);
    ut_unwind(2);
  }
  return total;
}

void pi_free_data(Pcb* pcb) {
  if (!pcb) return;
  EmHeader* em = pcb->module.get();
  uint32_t n = em ? uint32_t(em->n_areas) : 0;
  if (pcb->area_addr) {
    Ref<uint8_t>* addr = pcb->area_addr.get();
    uint8_t* own = pcb->area_own.get();
    for (uint32_t i = 0; own && i <= n; ++i)
      if (own[i] && addr[i]) mm_free(addr[i].get());
    if (own) mm_free(own);
    mm_free(addr);
    pcb->area_addr.reset();
    pcb->area_own.reset();
  }
  free_cns_scb(pcb);
  free_qry_scb(pcb);
  bld_rng(pcb);
  for (Ref<uint8_t>* b : {&pcb->pcf_buf1, &pcb->pcf_buf2}) {
    if (*b) mm_free(b->get());
    b->reset();
  }
  if (pcb->profile) {
    mm_free(pcb->profile.get());
    pcb->profile.reset();
  }
  if (FmArb* m = pcb->msg_file.get(); m && fm_is_handle(m)) FM_CLOSE(m, FM_CL_SCRATCH);
  pcb->msg_file.reset();
  for (auto& r : pcb->prev_msg) {
    if (FmArb* m = r.get(); m && fm_is_handle(m)) FM_CLOSE(m, FM_CL_SCRATCH);
    r.reset();
  }
  if (em && em->running_pcb.get() == pcb) em->running_pcb.reset();
  pl_release(pcb);
}

// ------------------------------------------------------ store, restore --
namespace {
template <class F>
size_t walk(Pcb* pcb, F&& f) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  EmAreaEntry* t = area_table(em);
  if (!t || !pcb->area_addr) return 0;
  size_t at = 0;
  for (uint32_t i = 1; i <= em->n_areas; ++i) {
    const EmAreaEntry& e = t[i];
    if (e.sub != 0 || e.kind == 1 || e.index == 0 || e.index > em->n_areas) continue;
    uint8_t* a = pcb->area_addr.get()[e.index].get();
    if (!a) continue;
    f(a, size_t(e.size), at);
    at += e.size;
  }
  return at;
}
}  // namespace

size_t pi_store_size(Pcb* pcb) {
  return walk(pcb, [](uint8_t*, size_t, size_t) {});
}

int pi_store_data(Pcb* pcb, uint8_t* buf, size_t size) {
  if (pi_store_size(pcb) > size) {
    sys_err(__LINE__, "pi_store_data() - too much data");
    return 0;
  }
  walk(pcb, [&](uint8_t* a, size_t len, size_t at) { std::memcpy(buf + at, a, len); });
  return 1;
}

int pi_restore_data(Pcb* pcb, const uint8_t* buf, size_t size) {
  if (pi_store_size(pcb) > size) {
    sys_err(__LINE__, "pi_store_data() - too much data");
    return 0;
  }
  walk(pcb, [&](uint8_t* a, size_t len, size_t at) { std::memcpy(a, buf + at, len); });
  return 1;
}

// ------------------------------------------------------- address look-ups --
uint8_t* pi_find_addr(Pcb* pcb, const char* app, uint32_t reference, int kind, uint32_t offset, uint32_t* index) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  EmAreaEntry* t = area_table(em);
  if (!t || !pcb->area_addr) return nullptr;
  uint32_t cls = reference / 1000000, number = reference % 1000000;
  for (uint32_t i = 1; i <= em->n_areas; ++i) {
    const EmAreaEntry& e = t[i];
    if (e.aclass != cls || e.number != number || e.kind != kind || e.sub != 0) continue;
    if (std::memcmp(e.app.data(), app, 3) != 0 || e.index == 0 || e.index > em->n_areas) continue;
    uint8_t* a = pcb->area_addr.get()[e.index].get();
    if (!a) return nullptr;
    if (index) *index = e.index;
    return a + offset;
  }
  return nullptr;
}

EmCfi* pi_get_cfi(EmHeader* em, const char* app, const char* name) {
  FmArb* c = em ? em->cfi.get() : nullptr;
  if (!c || !fm_is_handle(c)) return nullptr;
  static EmCfi* key = static_cast<EmCfi*>(arena::alloc_chunk(sizeof(EmCfi)));
  std::memset(static_cast<void*>(key), ' ', sizeof *key);
  std::memcpy(key->fdb.app.data(), app, 3);
  std::memcpy(key->fdb.name.data(), name, 8);
  PROTO_FULL(c, 0, reinterpret_cast<uint8_t*>(key));
  uint8_t* p = fm_read_fast(c, 0);
  c->op = 0;
  return reinterpret_cast<EmCfi*>(p);
}

uint8_t* pi_find_rec(Pcb* pcb, const char* app, const char* name) {
  EmCfi* r = pi_get_cfi(pcb ? pcb->module.get() : nullptr, app, name);
  if (!r) return nullptr;
  return pi_find_addr(pcb, app, r->rec_area, 0, 0, nullptr);
}
