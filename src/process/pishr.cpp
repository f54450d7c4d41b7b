// Process data areas and sharing: see pishr.h.
#include "process/pishr.h"
#include "process/pipcf.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pb.h"
#include "process/pc.h"
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
  os_sys_err_text(kMod, line, text);
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
  q->head.type = FM_SCB_PCF_QUERY;
  q->head.next.set(static_cast<FmScb*>(pcb->cns_scb.get()));
  // The process scope (the caller's, for a SUBPROCESS): every process it
  // invokes finds the active query there and reuses it; the query ends
  // with that scope.
  q->scope = uint32_t(com.proc_scope);
  q->app = v.query_app;
  auto* id = pi_area_rec<PdArea13>(pcb, 13);
  q->ver = id ? id->ver : v.ver;
  q->name = v.query_name;
  q->inv99 = v.reserved3;
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
        // A constant of the common block: the blank run is its first 256
        // bytes, and nothing is read past the block.
        size_t at = key - uint32_t(kComCnstBase);
        size_t blanks = sizeof com.blanks;
        if (at < sizeof(ComArea)) {
          c = com_cnst(key);
          clen = std::min(len, at < blanks ? blanks - at : sizeof(ComArea) - at);
        }
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

void init_pdf(Pcb* pcb, bool resumed) {
  const PiInvoc& v = pcb->invoc;
  if (auto* id = pi_area_rec<PdArea13>(pcb, 13)) {
    id->app = v.app;
    id->ver = v.ver;
    id->type = v.type;
    id->name = v.name;
  }
  // The process's defaults: AUTO READNEXT and EXACT KEY REQUIRED for a
  // process with a file of its own, CANCEL OK for every process; a blank
  // default leaves the field as its initial value gives it.
  const EmHeader* em = pcb->module.get();
  auto* a3 = pi_area_rec<PdArea3>(pcb, 3);
  if (em && a3) {
    if (!em->pcf_name.blank()) {
      if (!em->dflt_auto_rdnxt.blank()) a3->auto_readnext = em->dflt_auto_rdnxt;
      if (!em->dflt_exact_key.blank()) a3->exact_key = em->dflt_exact_key;
    }
    if (!em->dflt_cancel_ok.blank()) a3->cancel_ok = em->dflt_cancel_ok;
  }
  // A resumed process keeps the rest as it was suspended with; a
  // SUBPROCESS as its caller has it: the user, the database and the
  // application it runs in (its own areas of these classes start blank).
  if (resumed) return;
  Pcb* parent = static_cast<Pcb*>(v.parent_pcb.get());
  if (v.kind == 0) {
    if (!parent) return;
    auto* a5 = pi_area_rec<PdArea5>(pcb, 5);
    auto* p5 = pi_area_rec<PdArea5>(parent, 5);
    if (a5 && p5 && a5 != p5) *a5 = *p5;
    auto* a9 = pi_area_rec<PdArea9>(pcb, 9);
    auto* p9 = pi_area_rec<PdArea9>(parent, 9);
    if (a9 && p9 && a9 != p9) *a9 = *p9;
    auto* a11 = pi_area_rec<PdArea11>(pcb, 11);
    auto* p11 = pi_area_rec<PdArea11>(parent, 11);
    if (a11 && p11 && a11 != p11) {
      a11->app = p11->app;
      a11->ver = p11->ver;
    }
    return;
  }
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
  // Only a stream over the process's file that runs its query has breaks.
  const auto* q = static_cast<const PiQryScb*>(pcb->query_scb.get());
  FmArb* st = pcb->pcf_stream.get();
  if (!q || !st || !fm_is_handle(st) || st->state != FM_HS_QUERY) return;
  std::vector<PbBreakEnt> t;
  if (!pb_break_table(int(q->scope), std::string(q->app.data(), 3).c_str(), std::string(q->name.data(), 30).c_str(),
                      std::string(q->ver.data(), 2).c_str(), &t) ||
      t.empty())
    return;
  auto* tbl = static_cast<PbBreakEnt*>(MM_ALLOC(pi_pool(), t.size() * sizeof(PbBreakEnt)));
  std::copy(t.begin(), t.end(), tbl);
  pcb->break_tbl.set(tbl);
  pcb->break_count = uint32_t(t.size());
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

// ------------------------------------------------------- SAA work files --
namespace {
struct Saa {
  FmArb* files[kSaaClasses] = {};
  FILE* log = nullptr;
  bool log_tried = false;
} saa;

bool saa_live(FmArb* f) { return f && fm_is_handle(f); }

// One line per record created or grown: how (0 grown and 1 created by
// copy_saas, 2 created and 3 grown by pi_get_saa), class, application,
// version, the owner's application and process name, count.
void saa_log(int how, int cls, const SaaRec* r) {
  if (!saa.log_tried) {
    saa.log_tried = true;
    saa.log = os_open_log("QUVO_SAA_LOG");
  }
  if (!saa.log) return;
  const Pcb* o = r->owner.get();
  std::fprintf(saa.log, "(%d)%d %3.3s %2.2s %3.3s %30.30s - cnt = %d\n", how, cls, r->app.data(), r->ver.data(),
               o ? o->invoc.app.data() : "   ", o ? o->invoc.name.data() : "                              ",
               int(r->count.get()));
  std::fflush(saa.log);
}

SaaRec* saa_read(int cls, Pcb* owner, const char* app, const char* ver) {
  FmArb* f = saa.files[cls];
  if (!saa_live(f)) return nullptr;
  // A PCB's bit of a class is set by every write of a record it owns, so
  // without it there is nothing to look up (a fresh PCB's usual case).
  if (owner && !(owner->saa_classes & (1u << cls))) return nullptr;
  static SaaRec* key = static_cast<SaaRec*>(arena::alloc_chunk(sizeof(SaaRec)));
  std::memset(static_cast<void*>(key), 0, sizeof *key);
  key->owner.set(owner);
  std::memcpy(key->app.data(), app, 3);
  std::memcpy(key->ver.data(), ver, 2);
  PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(key));
  uint8_t* p = fm_read_fast(f, 0);
  f->op = 0;
  return reinterpret_cast<SaaRec*>(p);
}

// The file keeps the record block itself (by reference).
bool saa_write(int cls, SaaRec* r) {
  FmArb* f = saa.files[cls];
  if (!saa_live(f)) return false;
  if (Pcb* o = r->owner.get()) o->saa_classes = uint16_t(o->saa_classes | (1u << cls));
  PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(r));
  f->op = FM_OP_FAST;
  f->rec_len = uint16_t(sizeof(SaaRec));
  int ok = fm_write(f);
  f->op = 0;
  f->rec_len = 0;
  return ok == 1;
}

bool saa_delete(int cls, SaaRec* r) {
  FmArb* f = saa.files[cls];
  if (!saa_live(f)) return false;
  PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(r));
  uint8_t* got = fm_read_fast(f, FM_OP_HOLD);
  f->op = 0;
  return got == reinterpret_cast<uint8_t*>(r) && fm_del(f) == 1;
}

// Points the handle's key at the owner alone (the key's leading 4 bytes).
void owner_key(FmArb* f, Pcb* owner) {
  static auto* who = static_cast<Ref<Pcb>*>(arena::alloc_chunk(sizeof(Ref<Pcb>)));
  who->set(owner);
  f->key_no = 0;
  f->key.set(reinterpret_cast<uint8_t*>(who));
  f->key_len = 4;
}
void owner_key_done(FmArb* f) {
  f->op = 0;
  f->key.reset();
  f->key_len = 0;
}

// The owner's first record of the class, held for its delete; null when
// it has none left.
SaaRec* saa_first_held(int cls, Pcb* owner) {
  FmArb* f = saa.files[cls];
  if (!saa_live(f)) return nullptr;
  owner_key(f, owner);
  auto* r = reinterpret_cast<SaaRec*>(fm_read_fast(f, FM_OP_KEY | FM_OP_GE | FM_OP_HOLD));
  owner_key_done(f);
  if (r && r->owner.get() != owner) {
    fm_release(f);
    return nullptr;
  }
  return r;
}

SaaRec* saa_new(uint32_t count) {
  size_t n = 32 + 16 * size_t(count);
  auto* r = static_cast<SaaRec*>(MM_ALLOC(pi_pool(), n));
  std::memset(static_cast<void*>(r), 0, n);
  r->count = count;
  return r;
}

// The record grown to count slots (old slots kept); the old block goes.
SaaRec* saa_grow(int cls, SaaRec* r, uint32_t count, const char* what) {
  SaaRec* g = saa_new(count);
  std::memcpy(static_cast<void*>(g), r, r->bytes());
  g->count = count;
  if (!saa_delete(cls, r)) sys_err(__LINE__, what[0] == 'g' ? "get_saa() - bad saa file delete" : "shr_data() - delete failed on saa file");
  mm_free(r);
  if (!saa_write(cls, g)) sys_err(__LINE__, what[0] == 'g' ? "get_saa() - bad saa file write" : "fm_write() - failed on saa file");
  return g;
}

// The version of an application as the module compiled it (its CAP record).
// The last one found, kept while one process's areas are built.
struct CapMemo {
  EmHeader* em = nullptr;
  char app[3], ver[2];
  uint32_t hi[kSaaClasses];
} cap_memo;

bool cap_of(EmHeader* em, const char* app, char ver[2], uint32_t hi[kSaaClasses]) {
  if (em && cap_memo.em == em && std::memcmp(cap_memo.app, app, 3) == 0) {
    std::memcpy(ver, cap_memo.ver, 2);
    std::memcpy(hi, cap_memo.hi, sizeof cap_memo.hi);
    return true;
  }
  const EmCap* r = pi_get_cap(em, app);
  if (!r) return false;
  std::memcpy(ver, r->ver.data(), 2);
  for (int i = 0; i < kSaaClasses; ++i) hi[i] = r->hi_area[i];
  cap_memo.em = em;
  std::memcpy(cap_memo.app, app, 3);
  std::memcpy(cap_memo.ver, ver, 2);
  std::memcpy(cap_memo.hi, hi, sizeof cap_memo.hi);
  return true;
}
}  // namespace

int pi_saa_init() {
  for (FmArb*& f : saa.files) {
    if (saa_live(f)) FM_CLOSE(f, 0);
    f = nullptr;
  }
  if (saa.log) std::fclose(saa.log);
  saa.log = nullptr;
  saa.log_tried = false;
  for (FmArb*& f : saa.files) {
    FmFdb fdb;
    static FmKdb* kdb = static_cast<FmKdb*>(arena::alloc_chunk(sizeof(FmKdb)));
    static FmSdb* sdb = static_cast<FmSdb*>(arena::alloc_chunk(3 * sizeof(FmSdb)));
    INIT_SAA_FDB(&fdb, kdb, sdb);
    if (!FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) {
      checkstat(fdb.status, "pi_init() - bad SAA create", kMod, __LINE__);
      return 0;
    }
    f = fdb.handle.get();
  }
  return 1;
}

FmArb* pi_saa_file(int cls) { return cls >= 0 && cls < kSaaClasses && saa_live(saa.files[cls]) ? saa.files[cls] : nullptr; }

std::vector<SaaRec*> pi_saa_owned(Pcb* owner, int cls) {
  std::vector<SaaRec*> v;
  // (The owner's class bits first: they spare the handle check.)
  if (!owner || cls < 0 || cls >= kSaaClasses || !(owner->saa_classes & (1u << cls))) return v;
  FmArb* f = pi_saa_file(cls);
  if (!f) return v;
  // The owner leads the key: start at it and read while it stays.
  owner_key(f, owner);
  f->op = uint16_t(FM_OP_AT | FM_OP_KEY);
  fm_start(f);
  f->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(f, 0)) {
    auto* r = reinterpret_cast<SaaRec*>(p);
    if (r->owner.get() != owner) break;
    v.push_back(r);
  }
  owner_key_done(f);
  return v;
}

SaaRec* pi_get_saa(EmHeader* em, const char* app, Pcb* owner, int cls, uint32_t min_count) {
  char ver[2];
  uint32_t hi[kSaaClasses];
  if (cls < 0 || cls >= kSaaClasses || !cap_of(em, app, ver, hi)) {
    sys_err(__LINE__, "get_saa() - bad ap id");
    return nullptr;
  }
  uint32_t want = std::max(hi[cls], min_count);
  SaaRec* r = saa_read(cls, owner, app, ver);
  if (!r) {
    r = saa_new(want);
    r->owner.set(owner);
    std::memcpy(r->app.data(), app, 3);
    std::memcpy(r->ver.data(), ver, 2);
    if (!saa_write(cls, r)) {
      mm_free(r);
      sys_err(__LINE__, "get_saa() - bad saa file write");
      return nullptr;
    }
    saa_log(2, cls, r);
    return r;
  }
  if (r->count == 0xFFFFFFFFu || r->count < want) {
    if (r->count == 0xFFFFFFFFu) r->count = 0u;
    r = saa_grow(cls, r, want, "get");
    saa_log(3, cls, r);
  }
  return r;
}

bool pi_saa_put(Pcb* pcb, int cls, SaaRec* r) {
  if (cls < 0 || cls >= kSaaClasses || !r) return false;
  r->owner.set(pcb);
  return saa_write(cls, r);
}

namespace {
bool take_over(Pcb* pcb, Pcb* caller, int cls) {
  return caller && pcb->invoc.caller_mode == 2 && caller->family != pcb->family &&
         caller->area_owner[cls].get() == caller && caller->heads_family;
}
}  // namespace

void copy_saas(Pcb* pcb, int cls) {
  Pcb* caller = static_cast<Pcb*>(pcb->invoc.parent_pcb.get());
  bool take = take_over(pcb, caller, cls);
  EmHeader* em = pcb->module.get();
  int kind = std::clamp(int(pcb->invoc.kind), 0, 2);
  int pclass = std::clamp(em ? int(em->proc_class) : 0, 0, 2);
  uint8_t pass = saa_pass_tbl[kind], rcvm = saa_rcv_tbl[pclass];
  for (SaaRec* r : pi_saa_owned(pcb, cls)) {
    SaaSlot* s = r->slots();
    for (uint32_t n = 1; r->count != 0xFFFFFFFFu && n <= r->count; ++n) {
      if (s[n].pass & 2) continue;  // a taken-over area stays this PCB's to free
      s[n].handed.reset();
      if (s[n].received == 1) s[n].received = 0;
    }
  }
  Pcb* from = pcb->area_from[cls].get();
  if (!from || from == pcb) return;
  for (SaaRec* c : pi_saa_owned(from, cls)) {
    if (!(c->rcv_or & pass) || c->count == 0xFFFFFFFFu) continue;
    SaaRec* m = saa_read(cls, pcb, c->app.data(), c->ver.data());
    if (!m) {
      m = saa_new(c->count);
      m->owner.set(pcb);
      m->app = c->app;
      m->ver = c->ver;
      if (!saa_write(cls, m)) {
        mm_free(m);
        sys_err(__LINE__, "fm_write() - failed on saa file");
        continue;
      }
      saa_log(1, cls, m);
    } else if (m->count == 0xFFFFFFFFu || m->count < c->count) {
      if (m->count == 0xFFFFFFFFu) m->count = 0u;
      m = saa_grow(cls, m, c->count, "shr");
      saa_log(0, cls, m);
    }
    SaaSlot* cs = c->slots();
    SaaSlot* ms = m->slots();
    for (uint32_t n = c->count; n >= 1; --n) {
      SaaSlot& s = cs[n];
      SaaSlot& d = ms[n];
      if (!(s.rcv & pass)) continue;
      if (d.pass & 2) continue;  // already holds a taken-over area
      if (s.area) {
        d.handed = s.area;
        if (!d.area) d.size = s.size;
        d.kind = s.kind;
        d.rcv = s.rcv;
        if (take) {
          s.area.reset();
          d.pass = uint8_t((s.pass & ~1) | 2);
        } else {
          d.pass = uint8_t(s.pass & ~3);
        }
      } else if (s.handed) {
        if (!((s.rcv & rcvm) || (s.pass & pass))) continue;
        d.handed = s.handed;
        if (!d.area) d.size = s.size;
        d.kind = s.kind;
        d.rcv = s.rcv;
        if (take && (s.pass & 2)) {
          s.handed.reset();
          s.pass = uint8_t(s.pass & ~2);
          d.pass = uint8_t((s.pass & ~1) | 2);
        } else {
          d.pass = (s.pass & pass) ? uint8_t(s.pass | 1) : uint8_t(s.pass & ~3);
        }
      } else {
        continue;
      }
      m->rcv_or = uint8_t(m->rcv_or | d.rcv);
      if (s.rcv & rcvm) d.received = 1;
    }
  }
}

void target_pcbs(Pcb* pcb) {
  Pcb* caller = static_cast<Pcb*>(pcb->invoc.parent_pcb.get());
  bool indep = pcb->invoc.independent != 0;
  EmHeader* em = pcb->module.get();
  int kind = pcb->invoc.kind, pclass = em ? int(em->proc_class) : 0;
  for (int c = 0; c < kSaaClasses; ++c) {
    if (!caller || indep || !pi_class_shared(kind, pclass, c)) {
      pcb->area_owner[c].set(pcb);
      pcb->area_from[c].set(caller && !indep ? caller->area_owner[c].get() : nullptr);
      copy_saas(pcb, c);
    } else if (take_over(pcb, caller, c)) {
      // The child replaces a caller heading another family: the caller's
      // records become this PCB's, areas and all.
      for (SaaRec* r : pi_saa_owned(caller, c)) {
        if (!saa_delete(c, r)) {
          sys_err(__LINE__, "shr_data() - delete failed on saa file");
          continue;
        }
        // Another record of this PCB with the key (a reused PCB) gives way.
        if (SaaRec* old = saa_read(c, pcb, r->app.data(), r->ver.data())) {
          pcb->area_owner[c].set(pcb);
          saa_delete(c, old);
          SaaSlot* s = old->slots();
          for (uint32_t n = 1; old->count != 0xFFFFFFFFu && n <= old->count; ++n) {
            if (s[n].area) mm_free(s[n].area.get());
            if ((s[n].pass & 2) && s[n].handed) mm_free(s[n].handed.get());
          }
          mm_free(old);
        }
        r->owner.set(pcb);
        SaaSlot* s = r->slots();
        for (uint32_t n = 1; r->count != 0xFFFFFFFFu && n <= r->count; ++n)
          if (s[n].area) s[n].received = 2;
        if (!saa_write(c, r)) sys_err(__LINE__, "fm_write() - failed on saa file");
      }
      pcb->area_owner[c].set(pcb);
      pcb->area_from[c] = caller->area_from[c];
    } else {
      pcb->area_owner[c] = caller->area_owner[c];
      pcb->area_from[c].reset();
    }
  }
}

// ------------------------------------------------------ the PCB tables --
namespace {
// Every record of a module sub-file in key 0 order; false when the walk
// cannot start. A module without the sub-file has no records.
template <class T, class F>
bool walk_sub(FmArb* f, F fn) {
  if (!f || !fm_is_handle(f)) return true;
  f->key_no = 0;
  f->op = FM_OP_FIRST;
  int started = fm_start(f);
  if (!started) {
    f->op = 0;
    return false;
  }
  std::vector<T*> v;
  f->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(f, 0)) v.push_back(reinterpret_cast<T*>(p));
  f->op = 0;
  for (T* r : v) fn(r);
  return true;
}

// A zeroed table of entries 0 .. n from the process pool.
template <class E>
E* new_table(uint32_t n) {
  size_t bytes = sizeof(E) * (size_t(n) + 1);
  auto* t = static_cast<E*>(MM_ALLOC(pi_pool(), bytes));
  std::memset(static_cast<void*>(t), 0, bytes);
  return t;
}

template <class E>
void free_table(Ref<E>& t) {
  if (E* p = t.get()) mm_free(p);
  t.reset();
}

void build_frames(Pcb* pcb, EmHeader* em) {
  uint32_t n = em->n_frames;
  if (n == 0 || pcb->frame_tbl) return;
  PcbFrameEnt* t = new_table<PcbFrameEnt>(n);
  pcb->frame_tbl.set(t);
  bool input = pcb->invoc.type == 2;
  bool ok = walk_sub<EmCfrm>(em->cfrm.get(), [&](EmCfrm* r) {
    uint32_t seq = r->seq;
    if (seq == 0 || seq > n) return;
    t[seq].cfrm.set(r);
    if (!input || r->scroll == 0) return;
    if (pcb->scroll_img) {
      sys_err(__LINE__, "pcb_iscroll already set");
      return;
    }
    auto* sb = static_cast<PcbScroll*>(MM_ALLOC(pi_pool(), sizeof(PcbScroll)));
    std::memset(static_cast<void*>(sb), 0, sizeof *sb);
    sb->frame.set(&t[seq]);
    pcb->scroll_img.set(sb);
  });
  if (!ok) sys_err(__LINE__, "bad cfrm start");
}

void build_images(Pcb* pcb, EmHeader* em) {
  uint32_t n = em->n_images;
  if (n == 0 || pcb->image_tbl) return;
  PcbImageEnt* t = new_table<PcbImageEnt>(n);
  pcb->image_tbl.set(t);
  bool ok = walk_sub<EmCimg>(em->cimg.get(), [&](EmCimg* r) {
    uint32_t seq = r->seq;
    if (seq != 0 && seq <= n) t[seq].cimg.set(r);
  });
  if (!ok) sys_err(__LINE__, "bad cimg start");
}

void build_items(Pcb* pcb, EmHeader* em) {
  uint32_t n = em->n_items;
  if (n == 0 || pcb->item_tbl) return;
  PcbItemEnt* t = new_table<PcbItemEnt>(n);
  pcb->item_tbl.set(t);
  bool ok = walk_sub<EmCitm>(em->citm.get(), [&](EmCitm* r) {
    uint32_t no = r->item_no;
    if (no == 0 || no > n) return;  // numbered above the count: left out
    t[no].citm.set(r);
    t[no].carry = r->flag;
  });
  if (!ok) sys_err(__LINE__, "bad citm start");
}

void build_children(Pcb* pcb, EmHeader* em) {
  uint32_t n = em->n_children;
  if (n == 0 || pcb->child_tbl) return;
  PcbChildEnt* t = new_table<PcbChildEnt>(n);
  t[0].len = n;
  pcb->child_tbl.set(t);
  bool ok = walk_sub<EmCchld>(em->cchld.get(), [&](EmCchld* r) {
    uint32_t seq = r->seq;
    if (seq != 0 && seq <= n) t[seq].cchld.set(r);
  });
  if (!ok) sys_err(__LINE__, "bad cchld start");
}

void free_tables(Pcb* pcb) {
  if (PcbChildEnt* c = pcb->child_tbl.get()) {
    // A value buffer is the table's to free (entry 0 holds the count).
    for (uint32_t i = 1; i <= c[0].len; ++i)
      if (uint8_t* v = c[i].values.get()) mm_free(v);
  }
  free_table(pcb->frame_tbl);
  free_table(pcb->image_tbl);
  free_table(pcb->item_tbl);
  free_table(pcb->child_tbl);
  if (PcbScroll* sb = pcb->scroll_img.get()) {
    pcb_scroll_reset(sb);
    mm_free(sb);
  }
  pcb->scroll_img.reset();
}
}  // namespace

void pcb_scroll_reset(PcbScroll* sb) {
  if (!sb) return;
  for (PcbTag* t = sb->first.get(); t;) {
    PcbTag* n = t->next.get();
    mm_free(t);
    t = n;
  }
  sb->count = 0u;
  sb->row = 0u;
  sb->at_end = 0;
  sb->no_more = 0;
  sb->first.reset();
  sb->last.reset();
  sb->cur.reset();
  sb->del_row = 0;
}

void init_pcb(Pcb* pcb) {
  EmHeader* em = pcb->module.get();
  int scope = pcb->pool_scope;
  if (!pcb->area_addr) {
    uint32_t n = em ? uint32_t(em->n_areas) : 0;
    auto* addr = static_cast<Ref<uint8_t>*>(MM_ALLOC(pi_pool(), 4 * (size_t(n) + 1)));
    std::memset(static_cast<void*>(addr), 0, 4 * (size_t(n) + 1));
    pcb->area_addr.set(addr);
  }
  if (!pcb->msg_file) {
    if (FmArb* m = la_create_fi(79, scope)) pcb->msg_file.set(m);
    else sys_err(__LINE__, "no err file");
  }
  for (auto& m : pcb->prev_msg) {
    if (m) continue;
    if (FmArb* f = la_create_fi(79, scope)) m.set(f);
    else sys_err(__LINE__, "no prev err file");
  }
  pcb->tbl_words.zero();
  if (!em) return;
  build_frames(pcb, em);
  build_images(pcb, em);
  build_items(pcb, em);
  build_children(pcb, em);
}

// ------------------------------------------------- memory-resident files --
namespace {
// Both handles of a copy, closed on an unwind (the closes of a normal end
// are reported by copy_fi itself).
struct CopyHandles {
  FmArb* src = nullptr;
  FmArb* dst = nullptr;
  ~CopyHandles() {
    for (FmArb* a : {dst, src})
      if (a && fm_is_handle(a)) FM_CLOSE(a, 0);
  }
};

// The compiled reference of a file control area: key 3 of CFI is the
// application and the control area's id.
EmCfi* cfi_of_ctl(EmHeader* em, const EmAreaEntry& e) {
  FmArb* c = em ? em->cfi.get() : nullptr;
  if (!c || !fm_is_handle(c)) return nullptr;
  static EmCfi* key = static_cast<EmCfi*>(arena::alloc_chunk(sizeof(EmCfi)));
  std::memset(static_cast<void*>(key), 0, sizeof *key);
  key->fdb.app = e.app;
  key->ctl_area = uint32_t(e.aclass) * 1000000u + e.number;
  PROTO_FULL(c, 3, reinterpret_cast<uint8_t*>(key));
  uint8_t* p = fm_read_fast(c, 0);
  c->op = 0;
  return reinterpret_cast<EmCfi*>(p);
}

// A new file control area: its compiled reference, copy mode and scopes.
// A memory-resident file lives in the pool scope of its class owner; an
// owner that is an independent run, to which the class would have been
// shared, gets the file as its caller has it.
void new_fca(Pcb* pcb, PiFileCtl* fca, const EmAreaEntry& e, const PiFileCtl* handed) {
  EmHeader* em = pcb->module.get();
  EmCfi* cfi = cfi_of_ctl(em, e);
  fca->cfi.set(cfi);
  fca->copy_mode = 1;
  fca->pool = pcb->pool_scope;
  if (!pi_cfi_memory(cfi)) return;
  int cls = cfi->ipc_cat < kSaaClasses ? int(cfi->ipc_cat) : 0;
  Pcb* owner = pcb->area_owner[cls].get();
  if (!owner) owner = pcb;
  fca->owner_pool = owner->pool_scope;
  fca->copy_mode = 2;
  uint32_t made = handed ? uint32_t(handed->pool) : uint32_t(pcb->pool_scope);
  fca->pool = std::max<uint32_t>(made, fca->owner_pool);
  int pclass = em ? em->proc_class : 0;
  Pcb* caller = static_cast<Pcb*>(owner->invoc.parent_pcb.get());
  if (caller && owner->invoc.independent && pi_class_shared(owner->invoc.kind, pclass, cls))
    copy_fi(caller, fca, int(fca->owner_pool));
}
}  // namespace

bool pi_cfi_memory(const EmCfi* cfi) {
  return cfi && (cfi->fdb.fclass == FM_CLASS_MEMORY || (cfi->fdb.options & FM_OPT_MEMORY));
}

void copy_fi(Pcb* caller, PiFileCtl* fca, int scope) {
  EmCfi* cfi = fca ? fca->cfi.get() : nullptr;
  if (!caller || !cfi) return;
  int cls = cfi->ipc_cat < kSaaClasses ? int(cfi->ipc_cat) : 0;
  Pcb* owner = caller->area_owner[cls].get();
  int from = owner ? owner->pool_scope : caller->pool_scope;
  // The identity as the caller has it; the file describes its own records.
  FmFdb f = cfi->fdb;
  f.kdb.reset();
  f.key_count = 0;
  f.handle.reset();
  f.options = 0u;
  f.fclass = FM_CLASS_MEMORY;
  if (f.app == "0AD") {
    if (auto* a9 = pi_area_rec<PdArea9>(caller, 9)) {
      std::memcpy(f.src_app.data(), a9->design_app.data(), 3);
      std::memcpy(f.src_ver.data(), a9->design_ver.data(), 2);
    }
  }
  CopyHandles h;
  FmFdb s = f;
  if (!FM_OPEN(&s, from, 0, 1, 15)) {
    if (s.status != FM_ST_NOT_FOUND) checkstat(s.status, "copy_fi() - can't open source file", kMod, __LINE__);
    return;
  }
  h.src = s.handle.get();
  FmFdb d = h.src->file->fdb;  // record length, keys and stamp of the caller's file
  d.handle.reset();
  d.status = 0u;
  d.pool = 0u;
  if (!FM_CREATE(&d, scope, 0, 0, 15, 15)) {
    // The scope has its own file already: nothing to copy.
    if (d.status != FM_ST_EXISTS) checkstat(d.status, "can't create dst file", kMod, __LINE__);
    return;
  }
  h.dst = d.handle.get();
  FmArb* src = h.src;
  FmArb* dst = h.dst;
  src->key_no = 0;
  src->op = FM_OP_FIRST;
  fm_start(src);
  src->op = FM_OP_FAST;
  while (uint8_t* r = fm_rdnxt_fast(src, 0)) {
    src->op = FM_OP_FAST;
    dst->op = 0;
    dst->rec.set(r);
    dst->rec_len = d.var ? uint16_t(src->len_read) : uint16_t(0);
    if (fm_write(dst) != 1) {
      dst->rec.reset();
      checkstat(dst->status, "can't write dst rec", kMod, __LINE__);
      break;
    }
  }
  src->op = 0;
  dst->rec.reset();
  dst->rec_len = 0;
  h.dst = nullptr;
  if (!FM_CLOSE(dst, 0)) checkstat(dst->status, "can't close dst_arb", kMod, __LINE__);
  h.src = nullptr;
  if (!FM_CLOSE(src, 0)) checkstat(src->status, "can't close src_arb", kMod, __LINE__);
}

// ------------------------------------------------------------- the areas --
namespace {
// The size of the area handed down into slot n of a record of the PCB:
// that of the handed-down owner's slot (its area's, or its own handed-down
// one's), 0 when it cannot be found.
uint32_t handed_size(Pcb* pcb, int cls, const SaaRec* r, uint32_t n, const uint8_t* handed) {
  Pcb* from = pcb->area_from[cls].get();
  if (!from) return 0;
  SaaRec* c = saa_read(cls, from, r->app.data(), r->ver.data());
  if (!c || c->count == 0xFFFFFFFFu || n > c->count) return 0;
  const SaaSlot& s = c->slots()[n];
  if (s.area.get() == handed || s.handed.get() == handed) return s.size;
  return 0;
}
}  // namespace

uint32_t pi_shr_data(Pcb* pcb, int proc_scope, int sub_scope) {
  (void)sub_scope;
  EmHeader* em = pcb->module.get();
  MmPool pool = pi_pool();
  uint32_t n = em ? uint32_t(em->n_areas) : 0;
  Pcb* caller = static_cast<Pcb*>(pcb->invoc.parent_pcb.get());
  bool indep = pcb->invoc.independent != 0;
  pcb->pool_scope = uint16_t(proc_scope);
  if (caller && indep) proc_svc.qp_copy_pend(proc_scope, com.proc_scope);
  if (!pcb->area_addr) init_pcb(pcb);
  cap_memo.em = nullptr;
  target_pcbs(pcb);
  // The first process of a background session takes what it was suspended with.
  bool resumed = !caller && pi_resuming(pcb);
  if (resumed) pi_resume(pcb);
  Ref<uint8_t>* addr = pcb->area_addr.get();
  EmAreaEntry* t = area_table(em);
  int kind = pcb->invoc.kind;
  int pclass = em ? em->proc_class : 0;
  uint8_t rcvm = saa_rcv_tbl[std::clamp(pclass, 0, 2)];
  uint32_t total = 0;
  uint8_t* last_whole = nullptr;
  SaaRec* r = nullptr;
  int r_cls = -1;
  const char* r_app = nullptr;
  for (uint32_t i = 1; t && i <= n; ++i) {
    const EmAreaEntry& e = t[i];
    uint32_t ix = e.index;
    if (ix == 0 || ix > n) {
      sys_err(__LINE__, "pi_shr_data() - bad area index");
      last_whole = nullptr;  // (its sub-areas lie in no block)
      continue;
    }
    if (e.sub != 0) {
      if (last_whole) addr[ix].set(last_whole + e.sub);
      continue;
    }
    if (e.kind >= 2) {
      // Private to this process (freed by its area table).
      if (!addr[ix]) {
        addr[ix].set(static_cast<uint8_t*>(MM_ALLOC(pool, e.size ? e.size : 1)));
        total += e.size;
      }
      init_area(addr[ix].get(), pcb, e);
      last_whole = addr[ix].get();
      continue;
    }
    int cls = e.aclass;
    if (cls >= kSaaClasses || e.number == 0) {
      sys_err(__LINE__, "pi_shr_data() - bad area class");
      last_whole = nullptr;
      continue;
    }
    Pcb* owner = pcb->area_owner[cls].get();
    if (!r || r_cls != cls || std::memcmp(r_app, e.app.data(), 3) != 0 || r->count < e.number)
      r = pi_get_saa(em, e.app.data(), owner, cls, e.number);
    if (!r) {
      last_whole = nullptr;
      continue;
    }
    r_cls = cls;
    r_app = e.app.data();
    SaaSlot& s = r->slots()[e.number];
    bool priv = indep || !caller || !pi_class_shared(kind, pclass, cls);
    uint8_t* a = s.area.get();
    if (a && s.size < e.size) {
      // The area was made by a process compiled against an older dictionary
      // and is smaller than this one's: it cannot serve as this process's
      // (nor be grown, its holders keep its address), so the run ends.
      sys_err(__LINE__, "pi_shr_data() - area smaller than compiled");
      ut_unwind(4);
    }
    if (a && !priv) {
      // The area of the class's owner, shared as it stands.
      addr[ix].set(a);
      last_whole = a;
      continue;
    }
    bool fresh = false;
    uint32_t hsize = 0;
    if (!a) {
      hsize = s.handed ? uint32_t(s.size) : 0;
      s.size = e.size;
      a = static_cast<uint8_t*>(MM_ALLOC(pool, e.size ? e.size : 1));
      s.area.set(a);
      s.kind = e.kind;
      s.pass = uint8_t((s.pass & 3) | e.shr);
      s.rcv = e.non_shr;
      r->rcv_or = uint8_t(r->rcv_or | e.non_shr);
      total += e.size;
      fresh = true;
    } else if (s.handed) {
      hsize = handed_size(pcb, cls, r, e.number, s.handed.get());
    }
    if (e.kind == 1) {
      auto* fca = reinterpret_cast<PiFileCtl*>(a);
      if (fresh) {
        std::memset(a, 0, e.size);
        const auto* from = hsize >= sizeof(PiFileCtl) ? reinterpret_cast<const PiFileCtl*>(s.handed.get()) : nullptr;
        if (e.size >= sizeof(PiFileCtl)) new_fca(pcb, fca, e, from);
      } else if (e.size >= sizeof(PiFileCtl)) {
        fca->beg_range = 0;
        fca->end_range = 0;
        if (EmCfi* cfi = cfi_of_ctl(em, e)) fca->cfi.set(cfi);
      }
    } else if (s.received != 2) {
      // Initialised first: what the caller hands down is copied over it,
      // never more than either area holds (invariant 3).
      init_area(a, pcb, e);
      uint32_t want = std::min<uint32_t>(hsize, e.size);
      if (s.received == 1 && (rcvm & s.rcv) && s.handed && want)
        std::memcpy(a, s.handed.get(), want);
    }
    addr[ix].set(a);
    last_whole = a;
  }
  cap_memo.em = nullptr;
  if (resumed) pi_resume_done();
  init_pdf(pcb, resumed);
  bld_cns_scb(pcb);
  bld_qry_scb(pcb);
  // The constraints handed down must be on the process's own file: the
  // caller names it by its application and the area id of its record (the
  // module's own file numbers are its compile's and mean nothing to the
  // caller).
  if (pcb->invoc.cns_count != 0 && em &&
      (!(pcb->invoc.pcf_app == em->pcf_app.view()) || pcb->invoc.pcf_file != pc_pcf_cmpl(em).area)) {
    if (caller && caller->msg_file) la_add_msg(3, caller->msg_file.get(), 200750, 0);
    ut_unwind(2);
  }
  return total;
}

namespace {
// What a file control area holds besides itself: its two key buffers. Its
// handle is not closed here: every handle belongs to the scope it was opened
// in and is closed by that scope's release, and a handle block left behind
// may by now be another file's handle.
void free_fca(PiFileCtl* fca) {
  fca->handle.reset();
  for (Ref<uint8_t>* k : {&fca->beg_key, &fca->end_key}) {
    if (uint8_t* b = k->get()) mm_free(b);
    k->reset();
  }
}
}  // namespace

void pi_free_data(Pcb* pcb, int full) {
  if (!pcb) return;
  EmHeader* em = pcb->module.get();
  uint32_t n = em ? uint32_t(em->n_areas) : 0;
  for (int c = 0; c < kSaaClasses; ++c) {
    // Each of its records read held and deleted in turn, in key order.
    while (SaaRec* r = (pcb->saa_classes & (1u << c)) ? saa_first_held(c, pcb) : nullptr) {
      if (fm_del(saa.files[c]) != 1) {
        sys_err(__LINE__, "pi_free_data() - bad saa delete");
        break;
      }
      SaaSlot* s = r->slots();
      for (uint32_t k = 1; full && r->count != 0xFFFFFFFFu && k <= r->count; ++k) {
        bool fca = s[k].kind == 1 && s[k].size >= sizeof(PiFileCtl);
        if (s[k].area) {
          if (fca) free_fca(reinterpret_cast<PiFileCtl*>(s[k].area.get()));
          mm_free(s[k].area.get());
        }
        if ((s[k].pass & 2) && s[k].handed) {
          if (fca) free_fca(reinterpret_cast<PiFileCtl*>(s[k].handed.get()));
          mm_free(s[k].handed.get());
        }
      }
      // Without full the areas stay with their holders: the record goes.
      mm_free(r);
    }
    pcb->area_owner[c].reset();
    pcb->area_from[c].reset();
  }
  pcb->saa_classes = 0u;
  if (!full) {
    if (em && em->running_pcb.get() == pcb) em->running_pcb.reset();
    pl_release(pcb);
    return;
  }
  if (pcb->area_addr) {
    Ref<uint8_t>* addr = pcb->area_addr.get();
    EmAreaEntry* t = area_table(em);
    for (uint32_t i = 1; t && i <= n; ++i)
      if (t[i].kind >= 2 && t[i].sub == 0 && t[i].index >= 1 && t[i].index <= n && addr[t[i].index])
        mm_free(addr[t[i].index].get());
    mm_free(addr);
    pcb->area_addr.reset();
  }
  free_cns_scb(pcb);
  free_qry_scb(pcb);
  pi_pcf_free(pcb);
  free_tables(pcb);
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
  for (auto& m : pcb->prev_msg) {
    if (FmArb* f = m.get(); f && fm_is_handle(f)) FM_CLOSE(f, FM_CL_SCRATCH);
    m.reset();
  }
  if (em && em->running_pcb.get() == pcb) em->running_pcb.reset();
  pl_release(pcb);
}

// ------------------------------------------------------ store, restore --
namespace {
// Every non-file area of the PCB's own records, in class, key and slot
// order: the area, or without one the handed-down area.
template <class F>
size_t walk(Pcb* pcb, F&& f) {
  size_t at = 0;
  if (!pcb) return 0;
  for (int c = 0; c < kSaaClasses; ++c)
    for (SaaRec* r : pi_saa_owned(pcb, c)) {
      if (r->count == 0xFFFFFFFFu) continue;
      SaaSlot* s = r->slots();
      for (uint32_t k = 1; k <= r->count; ++k) {
        if (s[k].kind == 1) continue;
        uint8_t* a = s[k].area ? s[k].area.get() : s[k].handed.get();
        if (!a || s[k].size == 0) continue;
        f(a, size_t(s[k].size), at);
        at += s[k].size;
      }
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

const EmCap* pi_get_cap(EmHeader* em, const char* app) {
  FmArb* c = em ? em->cap.get() : nullptr;
  if (!c || !fm_is_handle(c)) return nullptr;
  static EmCap* key = static_cast<EmCap*>(arena::alloc_chunk(sizeof(EmCap)));
  std::memset(static_cast<void*>(key), 0, sizeof *key);
  std::memcpy(key->app.data(), app, 3);
  PROTO_FULL(c, 0, reinterpret_cast<uint8_t*>(key));
  auto* r = reinterpret_cast<const EmCap*>(fm_read_fast(c, 0));
  c->op = 0;
  return r;
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
