// The module loader and cache: pl_get, the cache, verification against the
// dictionary and relocation. See pl.h.
#include "process/pl.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "files/fmcat.h"
#include "files/fmkept.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/la.h"
#include "foundation/macros.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/emrec.h"
#include "process/pc.h"
#include "process/plint.h"
#include "process/pigetd.h"
#include "process/services.h"
#include "screen/wm.h"
#include "screen/wmrec.h"

namespace {

constexpr const char* kMod = "PL.C";
constexpr uint32_t kCacheHit = 202;
constexpr uint32_t kStatusResave = 1, kStatusDeleted = 6, kStatusInUse = 7, kStatusResident = 8;
constexpr int kResident = 101;

void sys_err(int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(ut_dbg, sizeof ut_dbg, fmt, ap);
  va_end(ap);
  os_sys_err(kMod, line);
}

struct State {
  FmArb* cache = nullptr;       // "EM"/"CA": module headers by reference
  uint32_t cache_cnt = 0;
  FILE* vfy = nullptr;          // QUVO_DBG_VFY
  std::unordered_set<EmHeader*> precached;  // modules whose files hold record caches
  // The modules whose headers are records of the cache: one look answers
  // whether a module is cached (every release asks), without a keyed read.
  std::unordered_set<const EmHeader*> cached;
};
State g;
bool* g_rejected = nullptr;  // verify_em_ex's report that the module is gone

// PROCESS files stay open in the base scope, one per application, version
// and path type, so that every pl_get reads the current definition without
// opening the file again (a cache hit costs one keyed read). They are kept
// handles (files/fmkept.h): another engine may scratch a PROCESS file and
// make it anew meanwhile, and the look before each read finds the new file.
// So is the application dictionary (APPL) of the common block.
struct ProcFile {
  std::string key;
  FmKept kept;
};
std::vector<ProcFile> g_proc_files;
FmKept g_dap;

// Arena work areas of the loader (taken once).
struct Work {
  FmKdb kdb[FM_CAT_KDB_AREA];
  FmSdb sdb[FM_CAT_SDB_AREA];
  uint8_t key[64];
  uint8_t rec[2048];
};
Work* work() {
  static Work* w = static_cast<Work*>(arena::alloc_chunk(sizeof(Work)));
  return w;
}

void vfy_log(const char* fmt, ...) {
  if (!g.vfy) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(g.vfy, fmt, ap);
  va_end(ap);
  std::fflush(g.vfy);
}

bool cache_live() { return g.cache && fm_is_handle(g.cache); }

// The cache key of a process key and language (key 0 of em_cache_fdb):
// type, application, version, name, language.
size_t cache_key(uint8_t* k, uint8_t type, const char* app, const char* ver, const char* name,
                 const char* lang) {
  k[0] = type;
  std::memcpy(k + 1, app, 3);
  std::memcpy(k + 4, ver, 2);
  std::memcpy(k + 6, name, 30);
  std::memcpy(k + 36, lang, 3);
  return 39;
}

// The cached module of a key, or null.
EmHeader* cache_find(uint8_t type, const char* app, const char* ver, const char* name, const char* lang) {
  if (!cache_live()) return nullptr;
  FmArb* c = g.cache;
  uint8_t* k = work()->key;
  c->key_no = 0;
  c->key.set(k);
  c->key_len = uint16_t(cache_key(k, type, app, ver, name, lang));
  uint8_t* p = fm_read_fast(c, FM_OP_KEY);
  c->op = 0;
  if (!p) {
    if (c->status != FM_ST_NO_RECORD) sys_err(__LINE__, "cache read failed");
    return nullptr;
  }
  return reinterpret_cast<EmHeader*>(p);
}

}  // namespace

void vfy_log_line(const char* text) { vfy_log("%s", text); }

namespace {
EmVerifier g_verifier = nullptr;
}  // namespace

void em_set_verifier(EmVerifier fn) { g_verifier = fn; }
EmVerifier em_verifier() { return g_verifier; }

int em_code_sound(EmHeader* em, const char* what) {
  if (!g_verifier) return 0;
  char why[160];
  if (g_verifier(em, why, sizeof why)) return 1;
  char line[320];
  std::snprintf(line, sizeof line, "%.*s - %s REFUSED: %s", 30, em->proc_name.data(), what, why);
  vfy_log("%s\n", line);
  os_sys_err_note(kMod, __LINE__, line);
  return 0;
}

// The one removal of a module from the cache (invariant 2); 1 when it was
// there.
int cache_remove(EmHeader* em) {
  if (!g.cached.count(em) || !cache_live()) return 0;
  // The record of its key, held for the delete: when it is another
  // module's, the hold goes back and nothing is removed.
  FmArb* c = g.cache;
  uint8_t* k = work()->key;
  c->key_no = 0;
  c->key.set(k);
  c->key_len = uint16_t(cache_key(k, em->proc_type, em->app.data(), em->ver.data(), em->proc_name.data(),
                                  em->lang.data()));
  uint8_t* p = fm_read_fast(c, FM_OP_KEY | FM_OP_HOLD);
  c->op = 0;
  if (!p) {
    if (c->status != FM_ST_NO_RECORD) sys_err(__LINE__, "cache read failed");
    return 0;
  }
  if (p != reinterpret_cast<uint8_t*>(em)) {
    fm_release(c);
    return 0;
  }
  if (!fm_del(c)) {
    sys_err(__LINE__, "cache delete failed");
    return 0;
  }
  --g.cache_cnt;
  g.cached.erase(em);
  return 1;
}

bool em_cached(const EmHeader* em) { return cache_live() && g.cached.count(em) != 0; }

// ------------------------------------------------------------- start --
void pl_flush() {
  if (!cache_live()) return;
  std::vector<EmHeader*> all;
  FmArb* c = g.cache;
  c->key_no = 1;
  c->op = FM_OP_FIRST;
  fm_start(c);
  c->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(c, 0)) all.push_back(reinterpret_cast<EmHeader*>(p));
  c->op = 0;
  for (EmHeader* em : all)
    if (em->use_count == 0) {
      cache_remove(em);
      pl_free(em, 1);
    }
}

void pl_init() {
  if (cache_live()) {
    pl_flush();
    FM_CLOSE(g.cache, FM_CL_SCRATCH);
  }
  g.cache = nullptr;
  g.cache_cnt = 0;
  g.cached.clear();
  g.precached.clear();
  em_spares_forget();
  for (ProcFile& f : g_proc_files) fm_kept_close(&f.kept);
  g_proc_files.clear();
  pl_sweep_reset();
  mm_create_pool(" PL_POOL", com.base_scope, 0);
  Work* w = work();
  FmFdb fdb;
  em_cache_fdb(&fdb, w->kdb, w->sdb);
  if (!FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) {
    sys_err(__LINE__, "pl_init() - EM cache create failed");
    return;
  }
  g.cache = fdb.handle.get();
  if (g.vfy) std::fclose(g.vfy);
  g.vfy = nullptr;
  g.vfy = os_open_log("QUVO_DBG_VFY");
  proc_svc.pl_cache_rloc = pl_cache_rloc;
}

void pl_register() {
  os_set_init(OsInit::Pl, [] {
    pl_init();
    if (cache_live()) return 1;
    std::snprintf(ut_dbg, sizeof ut_dbg, "pl_init() - EM cache create failed");
    return 0;
  });
}

uint32_t pl_cache_count() { return g.cache_cnt; }
uint32_t pl_cache_records() {
  if (!cache_live()) return 0;
  uint32_t n = 0;
  FmArb* c = g.cache;
  c->key_no = 0;
  c->op = FM_OP_FIRST;
  fm_start(c);
  c->op = FM_OP_FAST;
  while (fm_rdnxt_fast(c, 0)) ++n;
  c->op = 0;
  return n;
}

// ----------------------------------------------------------- release --
void em_release(EmHeader* em) {
  if (!em) return;
  if (em->use_count > 0) em->use_count = em->use_count - 1;
  // A module nobody holds and the cache does not keep is gone (invariant 6).
  if (em->use_count == 0 && !em_cached(em)) pl_free(em, 1);
}

void pl_release(Pcb* pcb) {
  if (!pcb) return;
  EmHeader* em = pcb->module.get();
  pcb->module.reset();
  em_release(em);
}

// ------------------------------------------------------- definitions --
int open_dap() {
  FmArb* h = com.dap_handle.get();
  if (h && h == g_dap.h && fm_kept_fresh(&g_dap)) return 1;
  // Without a path to look at, the handle stays open as it is.
  if (h && !g_dap.h && fm_is_handle(h)) return 1;
  if (h && h == g_dap.h) fm_kept_close(&g_dap);
  else if (h && fm_is_handle(h)) FM_CLOSE(h, 0);
  com.dap_handle.reset();
  g_dap = FmKept{};
  pi_dap_forget();
  Work* w = work();
  FmFdb fdb;
  INIT_DAP_FDB(&fdb, w->kdb, w->sdb);
  if (!FM_OPEN(&fdb, com.base_scope, 0, 1, 15)) return 0;
  com.dap_handle.set(fdb.handle.get());
  fm_kept_take(&g_dap, fdb.handle.get());
  return 1;
}

namespace {

// The PROCESS file's handle; *kept false: a handle for this read alone.
FmArb* proc_file(FmFdb* fdb, bool* kept) {
  *kept = true;
  std::string key(fdb->app.view());
  key.append(fdb->ver.view()).append(fdb->src_app.view()).append(fdb->src_ver.view());
  key.push_back(char('0' + fdb->path_type));
  // Every read looks again at what changed since the last; so does the
  // compile that may follow, in the same round (pcref.cpp).
  fm_kept_new_round();
  for (auto it = g_proc_files.begin(); it != g_proc_files.end(); ++it) {
    if (it->key != key) continue;
    if (fm_kept_fresh(&it->kept)) return it->kept.h;
    fm_kept_close(&it->kept);
    g_proc_files.erase(it);
    break;
  }
  if (!FM_OPEN(fdb, com.base_scope, 0, 1, 15)) return nullptr;
  ProcFile f{key, {}};
  *kept = fm_kept_take(&f.kept, fdb->handle.get());
  if (*kept) g_proc_files.push_back(f);
  return fdb->handle.get();
}
}  // namespace

int read_dproc(const PiInvoc& key, DProc* def, FmFdb* ident, uint32_t* status) {
  Work* w = work();
  FmFdb fdb;
  INIT_DPROC_FDB(&fdb, w->kdb, w->sdb, key.app.data(), key.ver.data());
  if (key.app == "0DN" && key.name == "RESTRUCTURE") fdb.path_type = FM_PT_STRUCT;
  def->proc_type = key.type;
  def->proc_name = key.name;
  int ok = 0;
  bool kept = false;
  if (FmArb* a = proc_file(&fdb, &kept)) {
    PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(def));
    ok = fm_read(a);
    if (!ok) fdb.status = a->status;
    a->rec.reset();
    if (!kept) FM_CLOSE(a, 0);
  }
  if (!ok) {
    // A dictionary without a directory entry, of an application that does
    // not exist, is a missing file to whoever asked for the process.
    if (fdb.status == FM_ST_NO_SYSDIR && !pi_get_dap(key.app.data(), key.ver.data())) fdb.status = FM_ST_NOT_FOUND;
    if (ident) *ident = fdb;
    if (status) *status = fdb.status;
  }
  return ok;
}

int get_dproc(Pcb* pcb, DProc* def) {
  FmFdb ident;
  uint32_t status = 0;
  if (read_dproc(pcb->invoc, def, &ident, &status)) return 1;
  pcb->heads_family = 0;
  if (pcb->invoc.type == 12) return 0;
  pi_fi_err(pcb, &ident, kPlNoDefinition, status);
}

// The saved-file identity's database field: the module's language, or
// blanks (language blank, the application's language blank or the same).
void em_lang_db(const EmHeader* em, char db[3]) {
  std::memset(db, ' ', 3);
  if (em->lang.blank()) return;
  const DParam* p = pi_get_dparm(em->app.data(), em->ver.data());
  if (!p || p->dict_lang.blank() || p->dict_lang == em->lang) return;
  std::memcpy(db, em->lang.data(), 3);
}

// --------------------------------------------------------- the cache --
int cache_get(Pcb* pcb, const DProc* def, int verify) {
  EmHeader* em = cache_find(pcb->invoc.type, pcb->invoc.app.data(), pcb->invoc.ver.data(),
                            pcb->invoc.name.data(), pcb->lang.data());
  if (!em) return 0;
  // A status 1 left from an earlier verification is not a failure: the
  // module refreshed its stamps; its saved file refreshes at its next load.
  if (em->status == kStatusResave) em->status = 0;
  if (verify && verify_em(em, pcb->invoc.kind, def, nullptr, pcb->lang.data()) != 1) return 0;
  em->use_count = em->use_count + 1;
  pcb->module.set(em);
  return 1;
}

namespace {

// Pre-caches the record images of the module's files (kinds 1 and 2).
bool precache_files(Pcb* pcb, EmHeader* em) {
  FmArb* cfi = em->cfi.get();
  if (!cfi) return true;
  Work* w = work();
  std::vector<EmCfi*> refs;
  cfi->key_no = 0;
  cfi->op = FM_OP_FIRST;
  if (!fm_start(cfi)) {
    sys_err(__LINE__, "cache_put() - Cannot start cfi");
    return false;
  }
  cfi->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(cfi, 0)) refs.push_back(reinterpret_cast<EmCfi*>(p));
  cfi->op = 0;
  (void)w;
  g.precached.insert(em);
  for (EmCfi* r : refs)
    for (int kind = 1; kind <= 2; ++kind) {
      FmFdb f = r->fdb;
      if (!fm_cache(&f, kind)) {
        pcb->heads_family = 0;
        pi_fi_err(pcb, &r->fdb, 200130, f.status);
      }
    }
  return true;
}

}  // namespace

int cache_put(Pcb* pcb) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  if (!em) {
    sys_err(__LINE__, "cache_put() - got a NULL em pointer");
    return 0;
  }
  if (!precache_files(pcb, em)) return 0;
  // Eviction: limit and threshold from the signed-on user.
  int limit = 15, threshold = 1;
  if (const DUser* u = pi_get_dusr(com.user_id.data())) {
    limit = u->cache_lim == 0 ? 15 : int(u->cache_lim);
    threshold = int8_t(uint8_t(u->cache_thr));
    if (threshold == -1) threshold = 15;
  }
  if (cache_live()) {
    std::vector<EmHeader*> order;
    FmArb* c = g.cache;
    c->key_no = 1;
    c->op = FM_OP_FIRST;
    if (!fm_start(c)) sys_err(__LINE__, "cache_put() - start failed");
    c->op = FM_OP_FAST;
    while (uint8_t* p = fm_rdnxt_fast(c, 0)) order.push_back(reinterpret_cast<EmHeader*>(p));
    c->op = 0;
    for (EmHeader* m : order) {
      if (m->use_count != 0) continue;
      if (int(g.cache_cnt) < limit && int(m->retention) >= threshold) break;
      // A resident module is passed over; any other refusal is reported.
      if (!pl_discard(m) && m->status != kStatusResident) sys_err(__LINE__, "cache delete failed");
    }
  }
  if (!cache_live()) return 0;
  FmArb* c = g.cache;
  c->rec.set(reinterpret_cast<uint8_t*>(em));
  c->rec_len = 0;
  c->op = FM_OP_FAST;
  int ok = fm_write(c);
  c->op = 0;
  c->rec.reset();
  if (ok) {
    ++g.cache_cnt;
    g.cached.insert(em);
    return 1;
  }
  if (c->status == FM_ST_DUP_KEY) return 2;  // cached already: the caller takes that one
  sys_err(__LINE__, "cache_put() - write failed");
  return 0;
}

int pl_discard(EmHeader* em) {
  if (!em_cached(em)) return 1;
  if (em->use_count != 0) {
    em->status = kStatusInUse;
    return 0;
  }
  if (em->retention >= kResident) {
    em->status = kStatusResident;
    return 0;
  }
  cache_remove(em);
  pl_free(em, 1);
  return 1;
}

void remove_init_null(EmHeader* em) {
  auto it = g.precached.find(em);
  if (it == g.precached.end()) return;
  g.precached.erase(it);
  FmArb* cfi = em->cfi.get();
  if (!cfi || !fm_is_handle(cfi)) return;
  std::vector<FmFdb> files;
  cfi->key_no = 0;
  cfi->op = FM_OP_FIRST;
  fm_start(cfi);
  cfi->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(cfi, 0)) files.push_back(reinterpret_cast<EmCfi*>(p)->fdb);
  cfi->op = 0;
  for (FmFdb& f : files)
    for (int kind = 1; kind <= 2; ++kind) {
      // fm_cache hands the kept image back (one more use): give both uses back.
      const uint8_t* img = fm_cache(&f, kind);
      if (!img) continue;
      if (!fm_uncache(img) || !fm_uncache(img)) sys_err(__LINE__, "fm_uncache() failed");
    }
}

int pl_free(EmHeader* em, int free_block) {
  if (em->use_count != 0) {
    em->status = kStatusInUse;
    return 0;
  }
  if (!purge_em(em, 0, nullptr)) sys_err(__LINE__, "pl_discard() - purge_em() failed");
  pc_scan_forget(em);
  if (free_block) mm_free(em);
  return 1;
}

// ------------------------------------------------------ verification --
namespace {

bool stamps_equal(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, 8) == 0; }

// Reads one record of a dictionary file by its key into buf; -1 when the
// file cannot be opened, 0 when the record is missing, 1 when read.
int dict_read(FmFdb* fdb, void* buf, int key_no) {
  if (!FM_OPEN(fdb, com.depth, 0, 1, 15)) return -1;
  FmArb* a = fdb->handle.get();
  PROTO_FULL(a, key_no, static_cast<uint8_t*>(buf));
  int ok = fm_read(a);
  FM_CLOSE(a, 0);
  return ok ? 1 : 0;
}

template <class T>
std::vector<T*> records_of(FmArb* f) {
  std::vector<T*> out;
  fm_each_fast(f, [&](uint8_t* p, uint32_t) { out.push_back(reinterpret_cast<T*>(p)); });
  return out;
}

// The pieces of one application that the module uses, against its
// dictionary: 1 unchanged, 0 changed (logged).
int pieces_unchanged(EmHeader* em, const EmCap& cap) {
  const int nl = 30;
  const char* pn = em->proc_name.data();
  Work* w = work();
  // Files.
  for (EmCfi* r : records_of<EmCfi>(em->cfi.get())) {
    if (!(r->fdb.app == cap.app)) continue;
    FmFdb f;
    INIT_DFI_FDB(&f, w->kdb, w->sdb, cap.app.data(), cap.ver.data());
    auto* rec = reinterpret_cast<DFile*>(w->rec);
    std::memset(rec, ' ', sizeof *rec);
    rec->name = r->fdb.name;
    int rc = dict_read(&f, rec, 0);
    if (rc < 0) {
      vfy_log("%.*s - NO DFI FILE(%.*s)\n", nl, pn, 8, r->fdb.name.data());
      return 0;
    }
    if (rc == 0 || !stamps_equal(rec->stamp.b, r->stamp.b)) {
      vfy_log("%.*s - DFI changed (%.*s)\n", nl, pn, 8, r->fdb.name.data());
      return 0;
    }
  }
  // Work fields.
  for (EmCfld* r : records_of<EmCfld>(em->cfld.get())) {
    if (!(r->app == cap.app)) continue;
    FmFdb f;
    INIT_DELEM_FDB(&f, w->kdb, w->sdb, cap.app.data(), cap.ver.data());
    auto* rec = reinterpret_cast<DElem*>(w->rec);
    std::memset(rec, ' ', sizeof *rec);
    rec->name = r->name;
    int rc = dict_read(&f, rec, 0);
    if (rc < 0) {
      vfy_log("%.*s - NO DELEM FILE(%.*s)\n", nl, pn, 22, r->name.data());
      return 0;
    }
    if (rc == 0 || !stamps_equal(rec->stamp2.b, r->stamp.b)) {
      vfy_log("%.*s - WRK changed (%.*s)\n", nl, pn, 22, r->name.data());
      return 0;
    }
  }
  // Subroutines.
  for (EmClib* r : records_of<EmClib>(em->clib.get())) {
    if (!(r->app == cap.app)) continue;
    FmFdb f;
    INIT_DPROC_FDB(&f, w->kdb, w->sdb, cap.app.data(), cap.ver.data());
    auto* rec = reinterpret_cast<DProc*>(w->rec);
    std::memset(rec, ' ', sizeof *rec);
    rec->proc_type = 6;
    rec->proc_name = r->name;
    int rc = dict_read(&f, rec, 0);
    if (rc < 0) {
      vfy_log("%.*s - NO PROC FILE(%.*s)\n", nl, pn, 30, r->name.data());
      return 0;
    }
    if (rc == 0 || !stamps_equal(rec->changed.b, r->stamp.b)) {
      vfy_log("%.*s - SUBR changed (%.*s)\n", nl, pn, 30, r->name.data());
      return 0;
    }
  }
  return 1;
}

bool no_stamp(const EmCap& cap) { return rec::view<rec::U32>(cap.stamp.b) == 0xFFFFFFFFu; }

}  // namespace

// Takes a module that failed verification out of use: unlinked from the
// cache, its saved file closed (and deleted when asked); a module nobody
// holds is freed at once, a held one at its last release (invariant 6).
void em_reject(EmHeader* em, FmArb* saved, bool delete_saved) {
  if (g_rejected) *g_rejected = true;
  if (saved) FM_CLOSE(saved, delete_saved ? FM_CL_SCRATCH : 0);
  cache_remove(em);
  if (em->use_count == 0) pl_free(em, 1);
}

int verify_em_ex(EmHeader* em, int kind, const DProc* def, FmArb* saved, const char* lang, bool* rejected) {
  *rejected = false;
  g_rejected = rejected;
  int rc = verify_em(em, kind, def, saved, lang);
  g_rejected = nullptr;
  return rc;
}

int verify_em(EmHeader* em, int kind, const DProc* def, FmArb* saved, const char* lang) {
  const int nl = 30;
  const char* pn = em->proc_name.data();
  uint32_t version = em->b1[0] | uint32_t(em->b1[1]) << 8 | uint32_t(em->b1[2]) << 16;
  const DAppl* ap = pi_get_dap(em->app.data(), em->ver.data());
  if (em->mark != kEmMark || version != kEmFormat) {
    vfy_log("%.*s - BAD Version (%d:%d)\n", nl, pn, int(em->mark), int(kEmMark));
    if (!ap)
      sys_err(__LINE__, "This engine is not compatible with this application (%.*s) (%d,%d)", 3,
              em->app.data(), int(kEmMark), int(em->mark));
    em_reject(em, saved, true);
    return 0;
  }
  if (std::memcmp(em->lang.data(), lang, 3) != 0) {
    em_reject(em, saved, false);
    return 0;
  }
  if ((kind == 0 && em->use_count > 0) || !ap) return 1;
  if (!stamps_equal(def->changed.b, reinterpret_cast<const uint8_t*>(&em->changed_day))) {
    vfy_log("%.*s - Process Modified\n", nl, pn);
    em_reject(em, saved, true);
    return 0;
  }
  for (EmCap* cap : records_of<EmCap>(em->cap.get())) {
    const DAppl* a = pi_get_dap(cap->app.data(), cap->ver.data());
    if (!a) {
      if (no_stamp(*cap)) continue;
      vfy_log("%.*s - OLD AP %.*s\n", nl, pn, 3, cap->app.data());
      em_reject(em, saved, true);
      return 0;
    }
    if (no_stamp(*cap)) {
      vfy_log("%.*s - NEW AP %.*s\n", nl, pn, 3, cap->app.data());
      em_reject(em, saved, true);
      return 0;
    }
    if (stamps_equal(cap->stamp.b, a->stamp.b)) continue;
    uint8_t stamp[8];
    std::memcpy(stamp, a->stamp.b, 8);
    if (!pieces_unchanged(em, *cap)) {
      em_reject(em, saved, true);
      return 0;
    }
    std::memcpy(cap->stamp.b, stamp, 8);
    em->status = kStatusResave;
  }
  if (em->status != kStatusResave) return 1;
  vfy_log("%.*s - RESAVE\n", nl, pn);
  return 0;
}

// ---------------------------------------------------------- relocation --
namespace {

Ref<uint8_t>* area_word(EmHeader* em, uint32_t index) {
  Ref<uint8_t>* arr = em->area_addr.get();
  if (!arr || index == 0 || index > em->n_areas) return nullptr;
  return arr + index;
}

uint32_t ref_of(const void* p) { return p ? arena::offset_of(p) : 0; }

// Whether the module has a file reference of that number.
bool cfi_of_number(EmHeader* em, uint16_t file_no) {
  FmArb* cfi = em->cfi.get();
  if (!cfi || !file_no) return false;
  uint8_t* key = work()->key;
  rec::view<rec::U16>(key) = file_no;
  cfi->key_no = 1;
  cfi->key.set(key);
  cfi->key_len = 2;
  uint8_t* p = fm_read_fast(cfi, FM_OP_KEY);
  cfi->op = 0;
  cfi->key_no = 0;
  return p != nullptr;
}

}  // namespace

int pl_rloc(Pcb* pcb) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  if (!em) {
    sys_err(__LINE__, "pl_rloc() - got a NULL em pointer");
    return 0;
  }
  // 1. The area address array and the two header indexes.
  MmPool plp = mm_create_pool(" PL_POOL", com.base_scope, 0);
  size_t n = size_t(em->n_areas) + 1;
  auto* arr = static_cast<Ref<uint8_t>*>(MM_ALLOC(plp, 4 * n));
  std::memset(static_cast<void*>(arr), 0, 4 * n);
  em->area_addr.set(arr);
  em->area_ix1 = ref_of(area_word(em, em->area_ix1));
  em->area_ix2 = ref_of(area_word(em, em->area_ix2));
  // 2. Token lists.
  for (EmCtok* t : records_of<EmCtok>(em->ctok.get()))
    t->token_handle = cv_load_token(t->app.data(), em->ver.data(), 0, t->name.data());
  // 3. Items: their area indexes become the addresses of their slots in
  //    the area address array; the null value they show for an empty field
  //    (a file field's NULL image, a work field's constant) an address.
  FmArb* cnst = em->cnst.get();
  for (EmCitm* c : records_of<EmCitm>(em->citm.get())) {
    WmItem& w = c->wm;
    w.ira_area = ref_of(area_word(em, w.ira_area));
    w.ira_sub = ref_of(area_word(em, w.ira_sub));
    if (c->lk_ira) c->lk_ira = ref_of(area_word(em, c->lk_ira));
    switch (w.source) {
      case 0: break;
      case 1:
        // A file number no reference of the module has (a saved module is
        // untrusted input) shows no null value.
        if (cfi_of_number(em, uint16_t(w.reference.get() & 0xFFFFu))) pl_cache_rloc(em, &w.reference, 2);
        else w.reference = 0u;
        break;
      case 2: CNST_RLOC(cnst, &w.reference); break;
      default:
        sys_err(__LINE__, "bad citm NULL type");
        w.reference = 0u;
    }
    auto* cv = reinterpret_cast<CvItem*>(reinterpret_cast<uint8_t*>(c) + offsetof(EmCitm, wm) + 12);
    if (cv->token_mark && (cv->type == 1 || cv->type == 2 || cv->type == 13 || cv->type == 5))
      cv->token_handle = cv_load_token(cv->app.data(), cv->ver.data(), 0, cv->token_name.data());
    if (cv->kind == 1) cv->language = em->lang;
  }
  // 4. Data-area look-ups.
  for (EmCdlu* d : records_of<EmCdlu>(em->cdlu.get())) {
    if (d->area) d->area = ref_of(area_word(em, d->area));
    if (d->ctl_ira) d->ctl_ira = ref_of(area_word(em, d->ctl_ira));
  }
  // 5. Frames: the text of a text frame.
  for (EmCfrm* f : records_of<EmCfrm>(em->cfrm.get()))
    if (f->text_len && f->text_cnst) CNST_RLOC(cnst, &f->text_cnst);
  // 6. Images keep their screen text in the module's pool.
  // 7. Children: the constant numbers of their constraint arrays become
  //    addresses; arrays shorter than their count (a saved module is
  //    untrusted input) leave the child without constraints.
  for (EmCchld* c : records_of<EmCchld>(em->cchld.get())) {
    PiInvoc& v = c->invoc;
    v.cns_values.reset();
    if (v.cns_count == 0) {
      v.cns_positions.reset();
      v.cns_descs.reset();
      continue;
    }
    uint32_t n = v.cns_count;
    auto array = [&](Ref<uint8_t>& slot, uint32_t size) {
      uint32_t no = slot.raw();
      uint8_t* r = cnst && no && no < 65000 ? MADDR(cnst, no) : nullptr;
      bool fits = r && uint64_t(cnst->len_read) >= uint64_t(size) * n;
      slot.off = fits ? arena::offset_of(r) : 0u;
      return fits;
    };
    bool ok = array(v.cns_positions, 6);
    ok = array(v.cns_descs, 16) && ok;
    if (!ok) {
      sys_err(__LINE__, "bad child constraints");
      v.cns_count = 0u;
      v.cns_positions.reset();
      v.cns_descs.reset();
    }
  }
  // 8. File references: areas, key and segment descriptors.
  for (EmCfi* r : records_of<EmCfi>(em->cfi.get())) {
    r->ctl_ira = ref_of(area_word(em, r->ctl_ira));
    r->rec_ira = ref_of(area_word(em, r->rec_ira));
    r->fdb.handle.reset();
    if (!r->fdb.kdb.off.get()) continue;
    FmKdb* keys;
    FmSdb* segs[256];
    if (!em_cfi_keys(em, *r, &keys, segs)) {
      sys_err(__LINE__, "bad kdb or sdb read");
      return 0;
    }
    for (int i = 0; i < r->fdb.key_count; ++i) keys[i].segs.set(segs[i]);
    r->fdb.kdb.set(keys);
  }
  return 1;
}

int em_cfi_keys(EmHeader* em, const EmCfi& r, FmKdb** keys, FmSdb* segs[256]) {
  FmArb* kdb = em->kdb.get();
  FmArb* sdb = em->sdb.get();
  uint32_t kno = r.fdb.kdb.off.get();
  uint8_t* kr = kdb && kno ? MADDR(kdb, kno) : nullptr;
  const uint32_t n = r.fdb.key_count;
  if (!kr || uint64_t(kdb->len_read) < uint64_t(n) * sizeof(FmKdb)) return 0;
  auto* k = reinterpret_cast<FmKdb*>(kr);
  uint64_t seg_at = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t sno = k[i].segs.off.get();
    uint8_t* sr = sdb && sno ? MADDR(sdb, sno) : nullptr;
    uint64_t to = (seg_at + k[i].seg_count) * sizeof(FmSdb);
    if (!sr || uint64_t(sdb->len_read) < to) return 0;
    segs[i] = reinterpret_cast<FmSdb*>(sr + seg_at * sizeof(FmSdb));
    seg_at += k[i].seg_count;
  }
  *keys = k;
  return 1;
}

int pl_cache_rloc(EmHeader* em, void* reference, int kind) {
  auto* ref = static_cast<uint8_t*>(reference);
  uint16_t file_no = rec::view<rec::U16>(ref);
  uint16_t offset = rec::view<rec::U16>(ref + 2);
  FmArb* cfi = em->cfi.get();
  uint8_t* key = work()->key;
  rec::view<rec::U16>(key) = file_no;
  cfi->key_no = 1;
  cfi->key.set(key);
  cfi->key_len = 2;
  uint8_t* p = fm_read_fast(cfi, FM_OP_KEY);
  cfi->op = 0;
  cfi->key_no = 0;
  if (!p) {
    sys_err(__LINE__, "Cannot read cfi_rec");
    rec::view<rec::U32>(ref) = 0u;
    return 0;
  }
  FmFdb f = reinterpret_cast<EmCfi*>(p)->fdb;
  uint8_t* img = fm_cache(&f, kind == 2 ? 2 : 1);
  rec::view<rec::U32>(ref) = img ? arena::offset_of(img + offset) : 0u;
  return img ? 1 : 0;
}

// ------------------------------------------------------ save defaults --
int dflt_save_em(const DProc* def, const Pcb* pcb) {
  if (def->save_flag[0] == '1') return 1;
  if (def->save_flag[0] == '0') return 0;
  int type = pcb->invoc.type;
  if (const DAppl* a = pi_get_dap(pcb->invoc.app.data(), pcb->invoc.ver.data())) {
    if (type < 1 || type > 6) return 1;
    char c = a->save[type - 1][0];
    if (c == '1') return 1;
    if (c == '0') return 0;
  }
  const DSysparm* s = pi_get_dsysparm();
  if (s) {
    if (type < 1 || type > 6) return 1;
    char c = s->save[2 + type][0];
    if (c == '1') return 1;
    if (c == '0') return 0;
  }
  if (!s) return 1;
  char c;
  if (pcb->invoc.app == "0SA") c = s->save[0][0];
  else if (pcb->invoc.app == "0AD") c = s->save[2][0];
  else if (pcb->invoc.app == "0LA") c = s->save[1][0];
  else return 1;
  return c != '0';
}

// ------------------------------------------------------ message window --
namespace {

// The window that says what the loader is doing while a screen is up.
// The notice of the compile under way (the innermost), while it is up.
struct MsgWin;
MsgWin* g_notice = nullptr;

struct MsgWin {
  WmHandle win = 0;
  bool shown = false;
  std::string head;
  MsgWin* outer = g_notice;
  MsgWin() { g_notice = this; }
  MsgWin(const MsgWin&) = delete;
  MsgWin& operator=(const MsgWin&) = delete;
  void open(const Pcb* pcb, const DProc* def) {
    if (!com.screen_up || !wm_up()) return;
    std::string who = def->title.blank() ? def->proc_name.str() : def->title.str();
    int t = pcb->invoc.type;
    std::string tname = t >= 1 && t <= 10 ? com.proc_type_names[t - 1].str() : std::string();
    head = tname.empty() ? who : tname + " " + who;
  }
  void show(uint32_t msg) {
    if (!com.screen_up || !wm_up()) return;
    std::string text = la_text(msg);
    int cols = int(std::max(head.size(), text.size())) + 4;
    if (cols > com.cols - 2) cols = com.cols - 2;
    if (!win) {
      WmWnd w;
      INIT_WND(&w, 1, com.rows / 2 - 2, (com.cols - cols) / 2, 4, cols, 0);
      win = wm_attach(&w, com.msg_surface, com.base_scope);
      if (!win) return;
    }
    std::string body(size_t(4 * cols), ' ');
    auto center = [&](int row, const std::string& s) {
      size_t len = std::min(s.size(), size_t(cols));
      std::memcpy(&body[size_t(row * cols) + (size_t(cols) - len) / 2], s.data(), len);
    };
    center(1, head);
    center(2, text);
    wm_write_reg(wm_cur_reg(win), body);
    WmShow sb;
    std::memset(static_cast<void*>(&sb), 0, sizeof sb);
    sb.flags = wmshow::kDraw;
    wm_show(&sb, 0);
    shown = true;
  }
  void close() {
    if (win) wm_detach(win, 1);
    win = 0;
  }
  ~MsgWin() {
    close();
    g_notice = outer;
  }
};

// A definition buffer from the loader's pool, given back on every way out.
struct DefBuf {
  DProc* def;
  DefBuf() : def(static_cast<DProc*>(MM_ALLOC(mm_create_pool(" PL_POOL", com.base_scope, 0), sizeof(DProc)))) {
    std::memset(static_cast<void*>(def), ' ', sizeof *def);
  }
  ~DefBuf() { mm_free(def); }
};

}  // namespace

// ------------------------------------------------------------- pl_get --
int pl_get(Pcb* pcb, int compile_flag) {
  if (!pcb) {
    sys_err(__LINE__, "pl_get() - got a NULL pcb pointer");
    return 0;
  }
  DefBuf d;
  if (!get_dproc(pcb, d.def)) {
    pcb->invoc.completion = int32_t(kPlNoDefinition);
    return 0;
  }
  if (cache_get(pcb, d.def, 1)) {
    pcb->invoc.completion = int32_t(kCacheHit);
    return 1;
  }
  int got;
  // A compiled module is verified as a loaded one is: one the verifier
  // refuses is a fault of the compiler, never run nor saved.
  auto compile = [&] {
    int ok = build_em(d.def, pcb, compile_flag);
    if (ok && g_verifier && !em_code_sound(pcb->module.get(), "COMPILED")) {
      sys_err(__LINE__, "build_em() - the compiled module fails verification");
      pl_release(pcb);
      pcb->invoc.completion = int32_t(kPlNoDefinition);
      ok = 0;
    }
    return ok;
  };
  {
    MsgWin mw;
    mw.open(pcb, d.def);
    if (d.def->save_flag[0] == '0') {
      mw.show(300560);
      got = compile();
    } else {
      got = load_em(d.def, pcb);
      if (!got) {
        mw.show(300560);
        got = compile();
        if (got && dflt_save_em(d.def, pcb)) {
          mw.show(300570);
          // A failed save leaves the module usable from memory; its
          // status word says why it was not saved.
          (void)pl_put(pcb->module.get());
        }
      }
    }
  }
  if (!got) return 0;
  // A module whose file references cannot be relocated is never cached nor
  // run half relocated.
  if (!pl_rloc(pcb)) {
    pl_release(pcb);
    pcb->invoc.completion = int32_t(kPlNoDefinition);
    return 0;
  }
  int put = cache_put(pcb);
  if (put == 1) return 1;
  if (put == 2) {
    // Another module of this key is cached: take that one.
    pl_release(pcb);
    if (cache_get(pcb, d.def, 0)) return 1;
    return 0;
  }
  pl_release(pcb);
  return 0;
}

void pl_close_notice() {
  if (g_notice) g_notice->close();
}

// --------------------------------------------------------- one-off uses --
namespace {
struct TempPcb {
  Pcb* pcb;
  TempPcb() : pcb(static_cast<Pcb*>(MM_ALLOC(mm_create_pool(" PL_POOL", com.base_scope, 0), sizeof(Pcb)))) {
    std::memset(static_cast<void*>(pcb), 0, sizeof *pcb);
    pcb->lang.clear();
  }
  ~TempPcb() { mm_free(pcb); }
};
void set_key(Pcb* pcb, const char* app, const char* ver, int type, const char* name) {
  pcb->invoc.app.set(std::string_view(app, strnlen(app, 3)));
  pcb->invoc.ver.set(std::string_view(ver, strnlen(ver, 2)));
  pcb->invoc.type = uint8_t(type);
  pcb->invoc.name.set(std::string_view(name, strnlen(name, 30)));
}
}  // namespace

int pl_bld(int, const char* app, const char* ver, int type, const char* name, char flag) {
  TempPcb t;
  set_key(t.pcb, app, ver, type, name);
  if (cache_find(t.pcb->invoc.type, t.pcb->invoc.app.data(), t.pcb->invoc.ver.data(),
                 t.pcb->invoc.name.data(), t.pcb->lang.data()))
    return 7;
  int rc = pl_get(t.pcb, flag == '1' ? 1 : 0);
  if (rc) {
    EmHeader* em = t.pcb->module.get();
    pl_release(t.pcb);
    if (em_cached(em)) pl_discard(em);
  }
  return rc;
}

void pl_dump(FILE* out) {
  if (!cache_live()) return;
  for (EmHeader* em : records_of<EmHeader>(g.cache)) {
    std::fprintf(out, "EM - %d %3.3s/%2.2s/%30.30s\n", int(em->proc_type), em->app.data(), em->ver.data(),
                 em->proc_name.data());
    static const char* const order[] = {"CAP",  "CFI",   "CFLD", "INST",    "CIMG", "CFRM", "CCHR", "CCHLD",
                                        "CITM", "CTOK",  "CLIB", "RECURSE", "LOC",  "CNST", "KDB",  "SDB",
                                        "CDLU", "QSLCT", "QSORT", "SUM",    "SCAN", "SCANB", "TOC", "TRAP"};
    for (const char* label : order) {
      FmArb* h = nullptr;
      if (!std::strcmp(label, "TOC")) h = em->toc.get();
      else if (!std::strcmp(label, "TRAP")) h = em->trap.get();
      else h = (em->*(em_sub(label)->slot)).get();
      FmName nm{nullptr, 0};
      const uint8_t* path = h && fm_is_handle(h) ? fm_path(h) : nullptr;
      if (!path) {
        std::fprintf(out, "  %s\t NULL\n", label);
        continue;
      }
      const auto& f = rec::view<FmFdb>(path);
      (void)nm;
      std::fprintf(out, "  %s\t %*.*s\n", label, 8, 8, f.name.data());
    }
    pl_dump_records(out, em);
  }
}

// ---------------------------------------------------- records by field --
namespace {

struct RecList {
  const char* label;
  const DictField* fields;
  size_t count;
  size_t size;
  Ref<FmArb> EmHeader::*slot;
};
template <size_t N>
constexpr size_t count_of(const DictField (&)[N]) {
  return N;
}
const RecList kRecLists[] = {
    {"CFRM", kFldCfrm, count_of(kFldCfrm), sizeof(EmCfrm), &EmHeader::cfrm},
    {"CIMG", kFldCimg, count_of(kFldCimg), sizeof(EmCimg), &EmHeader::cimg},
    {"CCHR", kFldCchr, count_of(kFldCchr), sizeof(EmCchr), &EmHeader::cchr},
    {"CCHLD", kFldCchld, count_of(kFldCchld), sizeof(EmCchld), &EmHeader::cchld},
    {"CITM", kFldCitm, count_of(kFldCitm), sizeof(EmCitm), &EmHeader::citm},
    {"CDLU", kFldCdlu, count_of(kFldCdlu), sizeof(EmCdlu), &EmHeader::cdlu},
};

void fields_text(std::string* out, const DictField* f, size_t n, const uint8_t* p, const char* prefix) {
  char b[32];
  for (size_t i = 0; i < n; ++i) {
    const DictField& d = f[i];
    const uint8_t* at = p + d.offset;
    std::string name = std::string(prefix) + d.name;
    if (d.type == kFtOpaque && !std::strcmp(d.name, "wm")) {
      fields_text(out, kFldWmItem, sizeof kFldWmItem / sizeof *kFldWmItem, at, "wm.");
      continue;
    }
    if (d.type == kFtOpaque && !std::strcmp(d.name, "invoc")) {
      fields_text(out, kFldInvoc, sizeof kFldInvoc / sizeof *kFldInvoc, at, "invoc.");
      continue;
    }
    if (!out->empty()) out->push_back(' ');
    *out += name + "=";
    for (uint16_t k = 0; k < d.occurs; ++k, at += d.width) {
      if (k) out->push_back(',');
      if (d.type == kFtAlpha) {
        *out += '"' + std::string(reinterpret_cast<const char*>(at), d.width) + '"';
      } else if (d.type == kFtBinary) {
        uint32_t v = d.width == 1 ? at[0] : d.width == 2 ? uint32_t(rec::view<rec::U16>(at)) : uint32_t(rec::view<rec::U32>(at));
        if (d.width == 4 && (v & 0x80000000u)) std::snprintf(b, sizeof b, "%d", int32_t(v));
        else std::snprintf(b, sizeof b, "%u", v);
        *out += b;
      } else {
        for (uint16_t j = 0; j < d.width; ++j) {
          std::snprintf(b, sizeof b, "%02x", at[j]);
          *out += b;
        }
      }
    }
  }
}

}  // namespace

std::string pl_rec_text(const char* label, const void* rec) {
  std::string s;
  for (const RecList& l : kRecLists)
    if (!std::strcmp(l.label, label)) fields_text(&s, l.fields, l.count, static_cast<const uint8_t*>(rec), "");
  return s;
}

void pl_dump_records(FILE* out, EmHeader* em) {
  for (const RecList& l : kRecLists)
    for (uint8_t* r : records_of<uint8_t>((em->*l.slot).get()))
      std::fprintf(out, "%s %s\n", l.label, pl_rec_text(l.label, r).c_str());
}
