// The process runner, invocation defaults, hooks and security: see piexec.h.
#include "process/piexec.h"
#include "process/pipcf.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pb.h"
#include "process/pc.h"
#include "process/pcb.h"
#include "process/pigetd.h"
#include "process/pishr.h"
#include "process/pl.h"
#include "process/services.h"

namespace {

constexpr const char* kMod = "PIEXEC.C";

void sys_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
}

// Arena storage of the runner: key buffers and descriptor areas.
struct Work {
  Pcb key;
  DHook hook;
  FmKdb kdb[FM_CAT_KDB_AREA];
  FmSdb sdb[FM_CAT_SDB_AREA];
};
Work* work() {
  static Work* w = static_cast<Work*>(arena::alloc_chunk(sizeof(Work)));
  return w;
}

struct Runner {
  FmArb* pcbs = nullptr;    // the PCB work file
  FmArb* hooks = nullptr;   // the hook copy
  MmPool pool = 0;
  uint16_t counter = 1;     // the family counter
  bool subproc_for_related = false;
  bool access_all_files = false;
  std::string start_failure;
  std::vector<Pcb*> pending;  // deleted from the PCB file, freed by a discard with memory
  uint32_t hook_count = 0;    // records of the hook copy
} g;

bool live(FmArb* a) { return a && fm_is_handle(a); }

// ------------------------------------------------------- the PCB file --
Pcb* pcb_read(Pcb* key) {
  if (!live(g.pcbs)) return nullptr;
  PROTO_FULL(g.pcbs, 0, reinterpret_cast<uint8_t*>(key));
  uint8_t* p = fm_read_fast(g.pcbs, 0);
  g.pcbs->op = 0;
  return reinterpret_cast<Pcb*>(p);
}

bool pcb_store(Pcb* pcb) {
  PROTO_FULL(g.pcbs, 0, reinterpret_cast<uint8_t*>(pcb));
  g.pcbs->op = FM_OP_FAST;
  int ok = fm_write(g.pcbs);
  g.pcbs->op = 0;
  return ok == 1;
}

std::vector<Pcb*> all_pcbs() {
  std::vector<Pcb*> v;
  if (!live(g.pcbs)) return v;
  FmArb* f = g.pcbs;
  f->key_no = 0;
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(f, 0)) v.push_back(reinterpret_cast<Pcb*>(p));
  f->op = 0;
  return v;
}

void set_key(Pcb* k, uint32_t family, const PiInvoc& inv, uint16_t gen, uint8_t alt) {
  k->family = family;
  std::memcpy(&k->invoc, &inv, 36);
  k->generation = gen;
  k->alternation = alt;
}

// "0LA 00 Menu \"QUVO MENU\"": the process key as messages name it.
std::string key_text(const PiInvoc& v) {
  return v.app.str() + " " + v.ver.str() + " " + os_type_name(v.type) + " \"" + v.name.str() + "\"";
}

bool same_process(const PiInvoc& a, const PiInvoc& b) { return std::memcmp(&a, &b, 36) == 0; }

// A PCB that is not (or no longer) in the PCB file.
void free_pcb(Pcb* pcb) {
  pi_free_data(pcb);
  mm_free(pcb);
}

// ------------------------------------------------------ completion codes --
bool runs_ep06(int r) {
  switch (r) {
    case 2: case 3: case 4: case 5: case 19: case 24: case 25: case 37: return true;
    default: return false;
  }
}
int merge_ep06(int running, int ep) {
  for (int c : {37, 4, 3, 24, 25})
    if (running == c || ep == c) return c;
  return running;
}

// --------------------------------------------------------- the phases --
int run_ep(Pcb* pcb, int ep) {
  PiEpArg a{pcb, ep, 0};
  return MARK(5, [](void* p) { proc_svc.ii_proc_exec(p); }, &a, nullptr);
}

int run_executor(Pcb* pcb) {
  int type = pcb->invoc.type;
  bool autom = pcb->invoc.auto_mode != 0;
  void (*fn)(Pcb*) = nullptr;
  switch (type) {
    case 1: fn = proc_svc.mp_exec; break;
    case 2: fn = autom ? proc_svc.ip_auto : proc_svc.ip_exec; break;
    case 3: fn = autom ? proc_svc.op_auto : proc_svc.op_exec; break;
    case 4: case 7: case 8: case 10: fn = proc_svc.ap_exec; break;
    case 5:
      if (autom) return mark(5, [] { proc_svc.qp_auto(); });
      fn = proc_svc.qp_exec;
      break;
    case 6: return 2;  // a Subroutine has no executor
    case 9: fn = proc_svc.op_inquire; break;
    default: return 4;
  }
  return mark(5, [&] { fn(pcb); });
}

// The index into the area address table of a compiled reference's IRA: the
// index itself, or, once the loader relocated the module, the address of
// that index's word in the module's area address array; 0 for none.
uint32_t ira_index(const EmHeader* em, uint32_t ira) {
  uint32_t n = em->n_areas;
  if (ira == 0) return 0;
  if (ira <= n) return ira;
  const Ref<uint8_t>* arr = em->area_addr.get();
  if (!arr) return 0;
  uint32_t base = arena::offset_of(arr);
  if (ira <= base || (ira - base) % 4 != 0 || (ira - base) / 4 > n) return 0;
  return (ira - base) / 4;
}

// Files of a starting process: the module's compiled file references, in
// key order. Each gets its file control area; a file to open is opened (a
// required one that cannot be ends the start through pi_fi_err with 300270)
// with the record area as its buffer; the process's own file (PCF) becomes
// the PCB's PCF entry and gets its stream.
void pi_open_fi(Pcb* pcb) {
  EmHeader* em = pcb->module.get();
  if (!em || !live(em->cfi.get())) return;
  FmArb* c = em->cfi.get();
  std::vector<EmCfi*> refs;
  c->key_no = 0;
  c->op = FM_OP_FIRST;
  if (!fm_start(c)) {
    sys_err(__LINE__, "invoc_proc() - cfi start failed");
    return;
  }
  c->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(c, 0)) refs.push_back(reinterpret_cast<EmCfi*>(p));
  c->op = 0;
  auto* a9 = pi_area_rec<PdArea9>(pcb, 9);
  Ref<uint8_t>* addr = pcb->area_addr.get();
  uint32_t n = em->n_areas;
  auto area = [&](uint32_t ira) -> uint8_t* {
    uint32_t ix = ira_index(em, ira);
    return addr && ix >= 1 && ix <= n ? addr[ix].get() : nullptr;
  };
  PiFileCtl* pcf = nullptr;
  EmCfi* pcf_ref = nullptr;
  for (EmCfi* r : refs) {
    auto* fca = reinterpret_cast<PiFileCtl*>(area(r->ctl_ira));
    if (fca) fca->cfi.set(r);
    if (!(r->use & 1) || r->file_no == 0) continue;
    FmFdb fdb = r->fdb;
    if (pi_cfi_memory(r)) fdb.fclass = FM_CLASS_MEMORY;
    if (fdb.app == "0AD") {
      if (a9) {
        std::memcpy(fdb.src_app.data(), a9->design_app.data(), 3);
        std::memcpy(fdb.src_ver.data(), a9->design_ver.data(), 2);
      }
    } else if (a9 && !(fdb.app == "0LA") && !IS_ZUB_AP(fdb.app.data()) && !pi_cfi_memory(r)) {
      // A memory-resident file has no database: it is the session's own.
      std::memcpy(fdb.db.data(), a9->cur_db.data(), 3);
    }
    if (fca && live(fca->handle.get())) continue;  // open already (a reused PCB)
    // Files open with every access right (the compiled reference keeps no
    // narrower mode yet, so QUVO_ACCESS_ALL_FILES changes nothing today).
    if (!FM_OPEN(&fdb, com.subproc_scope, 0, 15, 15)) {
      // A file the process must have ends its start.
      if (r->one.get() & 0xFF) pi_fi_err(pcb, &fdb, 300270, fdb.status);
      continue;
    }
    FmArb* h = fdb.handle.get();
    if (r->xlate & 1) fm_set_lang(h, "ENG", com.language.data());
    if (uint8_t* rec = area(r->rec_ira)) h->rec.set(rec);
    if (fca) {
      fca->handle.set(h);
      // A memory-resident file keeps the scopes its area was given.
      if (fca->copy_mode != 2) {
        fca->pool = uint32_t(com.subproc_scope);
        fca->copy_mode = 1;
      }
    }
    if (r->file_no == em->pcf_file && r->fdb.app == em->pcf_app.view()) {
      pcf = fca;
      pcf_ref = r;
    }
  }
  if (!pcf) return;
  pcb->pcf_entry.set(pcf);
  int type = pcb->invoc.type;
  FmArb* h = pcf->handle.get();
  uint16_t len = pcf_ref->fdb.rec_len;
  // The saved and new-record copies of the PCF verbs: an Input process's,
  // and those of a process whose children a change cascade compares.
  if (type == 2 || em->n_children) {
    for (Ref<uint8_t>* b : {&pcb->pcf_buf1, &pcb->pcf_buf2}) {
      if (*b) continue;  // a reused PCB keeps its buffers
      auto* buf = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), len ? len : 1));
      std::memset(buf, 0, len);
      b->set(buf);
    }
  }
  if (type == 12 || !live(h)) return;
  // The stream over the PCF, on the invocation's key or the module's default
  // one: when the invocation names a query, a query stream (the type 3 block
  // heads the chain) delivering the records its selection chooses, in its
  // sort order, once the query has criteria (pb_auto_setup); else the
  // records the caller's key constraints select (its type 4 block, the file
  // manager's FmScbCns; the values also go into the records written,
  // pi_set_cns), else the whole file. The type 3 block chains the type 4
  // one, so a query also reads under the caller's constraints.
  static_assert(sizeof(PiCnsScb) == sizeof(FmScbCns) && offsetof(PiCnsScb, values) == offsetof(FmScbCns, values) &&
                offsetof(PiCnsScb, entries) == offsetof(FmScbCns, entries));
  auto* chain = static_cast<FmScb*>(pcb->query_scb ? pcb->query_scb.get() : pcb->cns_scb.get());
  if (pcb->query_scb) pb_auto_setup(pcb, chain);
  FmArb* st = FM_ATTACH(h, chain, com.subproc_scope);
  if (!st) {
    pi_fi_err(pcb, &pcf_ref->fdb, 300270, h->status);
    return;
  }
  pcb->pcf_stream.set(st);
  st->rec = h->rec;
  st->key_no = uint16_t(pcb->invoc.key_path > 254 ? em->pcf_key.get() : pcb->invoc.key_path);
  st->op = FM_OP_FIRST;
  int started = fm_start(st);
  st->op = 0;
  if (!started && st->status != FM_ST_EOF && (pcf_ref->one.get() & 0xFF))
    pi_fi_err(pcb, &pcf_ref->fdb, 300270, st->status);
  if (type == 3 || type == 4 || type == 7) bld_rng(pcb);
}

struct ProcRun {
  Pcb* pcb;
  int result;  // the chain's result when it ends without unwinding
};

// The driver of one PCB chain; its result goes to ProcRun::result.
void invoc_proc(void* arg) {
  Pcb* pcb = static_cast<ProcRun*>(arg)->pcb;
  la_get_dec_sep_cur();
  int result = 1;
  Pcb* last = pcb;
  for (Pcb* p = pcb; p;) {
    last = p;
    p->next.reset();
    p->running = 1;
    struct Running {
      Pcb* p;
      ~Running() { p->running = 0; }
    } running{p};
    pi_shr_data(p, com.proc_scope, com.subproc_scope);
    int level = TRACE_QUVO(0xC01, 0, 600000, p, nullptr);
    if (p->invoc.independent) {
      auto* a1 = pi_area_rec<PdArea1>(p, 1);
      if (a1 && a1->background == "1") {
        // To the background: the process ends here once it is submitted.
        result = pi_suspend(p) ? 2 : 4;
        break;
      }
    }
    EmHeader* em = p->module.get();
    if (em && em->n_areas) {
      std::memcpy(em->area_addr.get(), p->area_addr.get(), 4 * (size_t(em->n_areas) + 1));
      em->running_pcb.set(p);
    }
    std::memset(reinterpret_cast<uint8_t*>(p) + 400, 0, 120);
    // The parameter file of an earlier run went with that run's scope.
    p->pif.reset();
    if (p->invoc.kind == 0) {
      p->surface1 = p->invoc.surface1;
      p->surface2 = p->invoc.surface2;
    }
    int r = mark(5, [&] { pi_open_fi(p); });
    // A system error cancelled while the files were opened (3) ends the run
    // as in every other phase: the process does not run without its files.
    if (r == 3 || r == 4 || r == 37 || r == 24 || r == 25) {
      result = r;
      break;
    }
    p->invoc.completion = r;
    uint32_t input_state = 0;
    int type = p->invoc.type;
    switch (type) {
      case 1: proc_svc.mp_setup(p); break;
      case 2: proc_svc.ip_setup(p, &input_state); break;
      case 5: proc_svc.qp_setup(p); break;
      default:
        if (type < 1 || type > 10) {
          sys_err(__LINE__, "invoc_proc() - bad proc. type");
          ut_unwind(4);
        }
    }
    Pcb* parent = static_cast<Pcb*>(p->invoc.parent_pcb.get());
    if (parent && p->invoc.caller_mode == 2 && p->invoc.kind != 0) {
      // The replaced caller is gone: its own caller becomes this one's.
      p->invoc.parent_pcb = parent->invoc.parent_pcb;
      if (parent->heads_family) discard_family(parent->family, 1);
    }
    p->dbg.reset();
    dbg_ctl(1);
    int running_code = 1;
    if (!(type == 3 && p->invoc.auto_mode == 1)) running_code = run_ep(p, 1);
    if (running_code == 1) running_code = run_executor(p);
    if (runs_ep06(running_code)) running_code = merge_ep06(running_code, run_ep(p, 6));
    p->invoc.completion = running_code;
    proc_svc.dbg_cleanup(p);
    dbg_ctl(2);
    // The PCF's stream and handles go with the sub-process scope (and the
    // hold handle that named the stream with them).
    pi_pcf_detach(p);
    p->pcf_stream.reset();
    p->pcf_entry.reset();
    switch (type) {
      case 1: proc_svc.mp_cleanup(p); break;
      case 2: proc_svc.ip_cleanup(p, &input_state); break;
      case 3: case 9: {
        int c = proc_svc.op_cleanup(p);
        if (c == 4 || c == 37) running_code = c;
        break;
      }
      case 5: proc_svc.qp_cleanup(p); break;
      default: break;
    }
    TRACE_QUVO(0xA01, level + 1, 602500, p, nullptr);
    result = running_code;
    Pcb* next = p->next.get();
    if (next && (running_code == 24 || running_code == 25)) {
      // A logout in event point 06 of a caller being replaced ends every
      // level at once: the replacing process never starts, and a family it
      // heads goes with this run's discard.
      p->next.reset();
      if (next->heads_family) discard_family(next->family, 0);
      break;
    }
    p = next;
  }
  if (last->heads_family) discard_family(last->family, 0);
  // The scope ends with the result: handed back without an unwind (the
  // scope's release is the same either way).
  static_cast<ProcRun*>(arg)->result = result == 0 ? 1 : result;
}

// ------------------------------------------------------------ getters --
struct GetxStore {
  DDatabase db;
  DDbxap dbxap;
  DProfile prof;
  FmKdb kdb[FM_CAT_KDB_AREA];
  FmSdb sdb[FM_CAT_SDB_AREA];
};
GetxStore* gstore() {
  static GetxStore* s = static_cast<GetxStore*>(arena::alloc_chunk(sizeof(GetxStore)));
  return s;
}
struct GetxMemory {
  char db[3];
  bool db_known = false, db_found = false;
  char dbxap[6];
  bool dbxap_ok = false;
  char prof[33];
  bool prof_known = false, prof_found = false;
} gm;

bool read_one(FmFdb* fdb, void* buf, const char* close_text, int line) {
  if (!FM_OPEN(fdb, com.depth, 0, 1, 15)) return false;
  FmArb* a = fdb->handle.get();
  PROTO_FULL(a, 0, static_cast<uint8_t*>(buf));
  bool ok = fm_read(a) == 1;
  if (!FM_CLOSE(a, 0) && close_text) sys_err(line, close_text);
  return ok;
}

bool blank3(const char* s) { return std::memcmp(s, "   ", 3) == 0; }

}  // namespace

// ============================================================ getters ==
const DDatabase* pi_get_ddb(const char* db) {
  if (!db || blank3(db)) return nullptr;
  GetxStore* s = gstore();
  if (gm.db_known && std::memcmp(gm.db, db, 3) == 0) return gm.db_found ? &s->db : nullptr;
  FmFdb fdb;
  INIT_DDB_FDB(&fdb, s->kdb, s->sdb);
  std::memset(&s->db, ' ', sizeof s->db);
  std::memcpy(&s->db.id, db, 3);
  gm.db_found = read_one(&fdb, &s->db, "db close failed", __LINE__);
  std::memcpy(gm.db, db, 3);
  gm.db_known = true;
  return gm.db_found ? &s->db : nullptr;
}

const DDbxap* pi_get_ddbxap(const char* db, const char* app) {
  GetxStore* s = gstore();
  char key[6];
  std::memcpy(key, db, 3);
  std::memcpy(key + 3, app, 3);
  if (gm.dbxap_ok && std::memcmp(gm.dbxap, key, 6) == 0) return &s->dbxap;
  gm.dbxap_ok = false;
  FmFdb fdb;
  INIT_DDBXAP_FDB(&fdb, s->kdb, s->sdb);
  std::memset(&s->dbxap, ' ', sizeof s->dbxap);
  std::memcpy(&s->dbxap.db, key, 3);
  std::memcpy(&s->dbxap.app, key + 3, 3);
  if (!read_one(&fdb, &s->dbxap, "ddbxap close failed", __LINE__)) return nullptr;
  std::memcpy(gm.dbxap, key, 6);
  gm.dbxap_ok = true;
  return &s->dbxap;
}

const DProfile* pi_get_dprof(const char* profile, const char* db) {
  GetxStore* s = gstore();
  char key[33];
  std::memcpy(key, profile, 30);
  std::memcpy(key + 30, db, 3);
  if (gm.prof_known && std::memcmp(gm.prof, key, 33) == 0) return gm.prof_found ? &s->prof : nullptr;
  FmFdb fdb;
  INIT_DPROF_FDB(&fdb, s->kdb, s->sdb);
  std::memset(&s->prof, ' ', sizeof s->prof);
  std::memcpy(&s->prof.name, profile, 30);
  std::memcpy(&s->prof.db, db, 3);
  bool found = read_one(&fdb, &s->prof, "dprof close failed", __LINE__);
  if (!found && !blank3(db)) {
    INIT_DPROF_FDB(&fdb, s->kdb, s->sdb);
    std::memset(&s->prof, ' ', sizeof s->prof);
    std::memcpy(&s->prof.name, profile, 30);
    found = read_one(&fdb, &s->prof, "dprof close failed", __LINE__);
  }
  std::memcpy(gm.prof, key, 33);
  gm.prof_known = true;
  gm.prof_found = found;
  return found ? &s->prof : nullptr;
}

void pi_getx_reset() { gm = GetxMemory{}; }

// ========================================================== the runner ==
MmPool pi_pool() {
  if (!g.pool || mm_pool_scope(g.pool) < 0) g.pool = mm_create_pool(" PIPOOL    ", com.base_scope, 0);
  return g.pool;
}

uint32_t pi_family_counter() { return g.counter; }
uint32_t pi_pcb_count() { return uint32_t(all_pcbs().size()); }
const std::string& pi_start_failure() { return g.start_failure; }

void pi_start_file_failure(const Pcb* pcb, const std::string& why) {
  g.start_failure = key_text(pcb->invoc) + ": " + why;
}

Pcb* pi_find_pcb(uint32_t family, const PiInvoc& key, uint16_t generation, uint8_t alternation) {
  Pcb* k = &work()->key;
  std::memset(static_cast<void*>(k), 0, sizeof *k);
  set_key(k, family, key, generation, alternation);
  return pcb_read(k);
}

void discard_family(uint32_t family, int free_memory) {
  std::vector<Pcb*> members;
  for (Pcb* p : all_pcbs())
    if (p->family == family) members.push_back(p);
  for (Pcb* p : members) {
    PROTO_FULL(g.pcbs, 0, reinterpret_cast<uint8_t*>(p));
    uint8_t* r = fm_read_fast(g.pcbs, FM_OP_HOLD);
    g.pcbs->op = 0;
    if (!r || !fm_del(g.pcbs)) {
      sys_err(__LINE__, "invoc_proc() - PCB delete");
      continue;
    }
  }
  // Without memory the blocks wait for the discard of the run's end (the
  // caller may still hold them while it unwinds).
  for (Pcb* p : members) g.pending.push_back(p);
  if (!free_memory) return;
  // Every waiting block that no run holds any more goes now (a replaced
  // caller's family ends here too).
  std::vector<Pcb*> keep;
  for (Pcb* p : g.pending)
    if (!p->running) free_pcb(p);
    else keep.push_back(p);
  g.pending.swap(keep);
}

int pi_init() {
  if (live(g.pcbs)) {
    for (Pcb* p : all_pcbs()) discard_family(p->family, 1);
    for (Pcb* p : g.pending) free_pcb(p);
    FM_CLOSE(g.pcbs, 0);
  }
  if (live(g.hooks)) FM_CLOSE(g.hooks, 0);
  g = Runner{};
  pi_session_forget();
  pi_getx_reset();
  pi_pool();
  pi_tbl_init();
  if (!pi_saa_init()) return 0;
  Work* w = work();
  FmFdb fdb;
  INIT_PCB_FDB(&fdb, w->kdb, w->sdb);
  if (!FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) {
    checkstat(fdb.status, "PCB file creation/open failed", kMod, __LINE__);
    return 0;
  }
  g.pcbs = fdb.handle.get();
  INIT_MHOOK_FDB(&fdb, w->kdb, w->sdb);
  if (!FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) {
    checkstat(fdb.status, "pi_init() - hook copy create failed", kMod, __LINE__);
    return 0;
  }
  g.hooks = fdb.handle.get();
  g.subproc_for_related = std::getenv("QUVO_184_IPC") != nullptr;
  g.access_all_files = std::getenv("QUVO_ACCESS_ALL_FILES") != nullptr;
  // "TYPE:CODE,...", then after a ';' the PCF script (services.h).
  if (const char* t = os_test_hook("QUVO_TEST_EXEC"); t && *t) {
    std::string codes(t);
    const char* script = std::strchr(t, ';');
    if (script) codes.resize(size_t(script - t));
    if (!proc_exec_script_text(codes.c_str()) || (script && !proc_exec_pcf_text(script + 1)))
      std::fprintf(stderr, "quvo: QUVO_TEST_EXEC=%s is not TYPE:CODE,...[;TYPE=STEPS]; nothing scripted\n", t);
  }
  fill_mhook();
  pi_prop_reset();
  return 1;
}

void pi_exec(PiInvoc* inv) {
  Pcb* parent = static_cast<Pcb*>(inv->parent_pcb.get());
  if (!parent) g.start_failure.clear();
  Work* w = work();
  Pcb* key = &w->key;
  std::memset(static_cast<void*>(key), 0, sizeof *key);
  std::memcpy(&key->invoc, inv, 36);
  key->lang.clear();
  if (!dflt_proc(key, inv, parent)) {
    inv->completion = 20;
    return;
  }
  Pcb k = *key;  // the defaulted key, safe from nested runs
  int kind = inv->kind;
  if (kind > 2 || k.invoc.type < 1 || k.invoc.type > 10) {
    sys_err(__LINE__, kind > 2 ? "bad invoc type" : "invoc_proc() - bad proc type");
    inv->completion = 4;
    return;
  }
  uint16_t saved_counter = g.counter;
  Pcb* pcb = nullptr;
  uint32_t family;
  if (kind == 0 && !inv->independent && parent) {
    family = parent->family;
    set_key(key, family, k.invoc, 0, 0);
    Pcb* found = pcb_read(key);
    if (found && (inv->caller_mode == 2 || found->gen_source != 0)) {
      key->generation = found->gen_source;
      if (inv->caller_mode == 2 && same_process(k.invoc, found->invoc))
        key->alternation = parent->alternation == 0 ? 1 : 0;
      found = pcb_read(key);
    }
    // A process that is running now in this family keeps its PCB: the new
    // run takes the next free generation.
    while (found && found->running) {
      key->generation = uint16_t(key->generation + 1);
      found = pcb_read(key);
    }
    k.generation = key->generation;
    k.alternation = key->alternation;
    pcb = found;
  } else {
    family = g.counter;
    g.counter = uint16_t(g.counter + 1 == 0 ? 1 : g.counter + 1);
  }
  if (pcb) {
    std::memcpy(&pcb->invoc, inv, sizeof *inv);
    std::memcpy(&pcb->invoc, &k.invoc, 36);
    pcb->lang = k.lang;
    pcb_scroll_reset(pcb->scroll_img.get());
  } else {
    pcb = static_cast<Pcb*>(MM_ALLOC(pi_pool(), sizeof(Pcb)));
    std::memset(static_cast<void*>(pcb), 0, sizeof *pcb);
    std::memcpy(&pcb->invoc, inv, sizeof *inv);
    std::memcpy(&pcb->invoc, &k.invoc, 36);
    pcb->lang = k.lang;
    pcb->family = family;
    pcb->generation = k.generation;
    pcb->alternation = k.alternation;
    if (kind != 0 || inv->independent || !parent) pcb->heads_family = 1;
    else if (inv->caller_mode == 2) pcb->heads_family = parent->heads_family;
    else pcb->heads_family = 0;
    // The module: a missing definition unwinds through the file-error exit.
    int got = 0;
    // The start-up process's compile errors go to standard error once the
    // screen has gone (with the start failure), not into a window.
    int m = mark(0, [&] { got = pl_get(pcb, parent ? 1 : 0); });
    if (m != 1 || !got) {
      if (!parent) {
        uint32_t status = 0;
        auto* def = static_cast<DProc*>(MM_ALLOC(pi_pool(), sizeof(DProc)));
        std::memset(static_cast<void*>(def), ' ', sizeof *def);
        FmFdb ident;
        std::string why = key_text(pcb->invoc) + ": " + la_text(kPlNoDefinition);
        if (!read_dproc(pcb->invoc, def, &ident, &status) && status) why += ": " + la_text(status);
        if (std::string e = pc_cmpl_err_report(pcb->invoc); !e.empty()) why += "\n" + e.substr(0, e.size() - 1);
        mm_free(def);
        g.start_failure = why;
      }
      free_pcb(pcb);
      g.counter = saved_counter;
      inv->completion = 4;
      return;
    }
    EmHeader* em = pcb->module.get();
    // The profile goes into the PCB whatever the execution code: the PCF
    // verbs check each record's security code against it.
    int allowed = chk_exec_secr(pcb, parent);
    if (em->exec_secr != -1 && !allowed) {
      if (!parent) g.start_failure = key_text(pcb->invoc) + ": " + la_text(200460);
      free_pcb(pcb);
      g.counter = saved_counter;
      inv->completion = 34;
      if (parent && parent->msg_file) la_add_msg(3, parent->msg_file.get(), 200460, 0);
      return;
    }
    if (!pcb_store(pcb)) {
      sys_err(__LINE__, "pi_exec() - bad pcb_arb write");
      free_pcb(pcb);
      g.counter = saved_counter;
      inv->completion = 4;
      return;
    }
  }
  if (inv->caller_mode == 2 && parent) {
    parent->next.set(pcb);
    ut_unwind(19);
  }
  uint8_t saved_invoc[kInvocSize];
  std::memcpy(saved_invoc, os_invoc, kInvocSize);
  os_err_set_invoc(inv);
  int type = 1;
  if (!inv->independent) {
    if (kind == 0) type = 4;
    else if (kind == 1) type = g.subproc_for_related ? 4 : 1;
  }
  bool heads = pcb->heads_family != 0;
  ProcRun run{pcb, 0};
  int result = MARK(type, invoc_proc, &run, ut_cleanup);
  if (result == 1 && run.result != 0) result = run.result;
  // Whatever way the run ended, a family headed here leaves nothing behind.
  if (heads) discard_family(family, 1);
  inv->completion = result;
  os_err_set_invoc(saved_invoc);
  g.counter = saved_counter;
  if (parent) {
    EmHeader* pem = parent->module.get();
    if (pem && pem->n_areas && pem->running_pcb.get() != parent && parent->area_addr) {
      std::memcpy(pem->area_addr.get(), parent->area_addr.get(), 4 * (size_t(pem->n_areas) + 1));
      pem->running_pcb.set(parent);
    }
  }
  if (result == 24 || result == 25) ut_unwind(result);
}

// ========================================================== defaults ==
bool db_required(const char* app) {
  if (IS_ZUB_AP(app)) return false;
  return std::memcmp(app, "0DN", 3) != 0;
}

namespace {
void default_menu(Pcb* key) {
  key->invoc.app.set("0LA");
  key->invoc.ver.set("00");
  key->invoc.type = 1;
  key->invoc.name.set("QUVO MENU");
}
}  // namespace

int dflt_proc(Pcb* key, PiInvoc* inv, Pcb* parent) {
  bool app_blank = inv->app.blank();
  bool name_blank = inv->name.blank();
  char db[3] = {' ', ' ', ' '};
  if (parent) {
    auto* a5 = pi_area_rec<PdArea5>(parent, 5);
    auto* a9 = pi_area_rec<PdArea9>(parent, 9);
    if (inv->kind != 0 && a5 && !a5->db.blank()) std::memcpy(db, a5->db.data(), 3);
    else if (a9) std::memcpy(db, a9->cur_db.data(), 3);
    auto* st = pi_area_rec<PdStatus>(parent, 7);
    if (app_blank && st && !st->next_app.blank()) {
      key->invoc.app = st->next_app;
      st->next_app.clear();
      app_blank = false;
    }
  } else if (!com.startup_db.blank()) {
    std::memcpy(db, com.startup_db.data(), 3);
  }
  if (blank3(db) && !app_blank && db_required(key->invoc.app.data())) {
    const DUser* u = pi_get_dusr(com.user_id.data());
    if (!u || u->db.blank()) {
      default_menu(key);
      return 1;
    }
    com.startup_db = u->db;
    std::memcpy(db, u->db.data(), 3);
  }
  if (app_blank) {
    name_blank = true;
    if (!blank3(db)) {
      const DDatabase* d = pi_get_ddb(db);
      if (!d) {
        default_menu(key);
        return 1;
      }
      key->invoc.app = d->app;
      key->invoc.ver = d->ver;
    } else {
      const DUser* u = pi_get_dusr(com.user_id.data());
      if (!u || u->app.blank()) {
        default_menu(key);
        return 1;
      }
      key->invoc.app = u->app;
      key->invoc.type = u->proc_type;
      key->invoc.name = u->proc;
      com.startup_db = u->db;
      std::memcpy(db, u->db.data(), 3);
      name_blank = u->proc.blank();
    }
  }
  if (!blank3(db) && db_required(key->invoc.app.data())) {
    const DDatabase* d = pi_get_ddb(db);
    if (d) key->invoc.ver = d->ver;
  } else if (!(key->invoc.app == "0DN")) {
    key->invoc.ver.set("00");
  }
  if (name_blank) {
    const DParam* prm = pi_get_dparm(key->invoc.app.data(), key->invoc.ver.data());
    if (!prm) return 0;
    int phase = 2;
    if (!blank3(db))
      if (const DDbxap* x = pi_get_ddbxap(db, key->invoc.app.data())) phase = x->phase;
    const rec::Text<30>* menu = &prm->menu[0];
    if (phase == 1 && !prm->menu[1].blank()) menu = &prm->menu[1];
    else if (phase == 3 && !prm->menu[2].blank()) menu = &prm->menu[2];
    if (menu->blank()) return 0;
    key->invoc.name = *menu;
    key->invoc.type = 1;
  }
  hook_proc(key, 3, db);
  dflt_lang(key, parent, db);
  return 1;
}

int hook_proc(Pcb* key, int hook_type, char* db) {
  if (hook_type != 3 || !live(g.hooks) || g.hook_count == 0) return 0;
  DHook* h = &work()->hook;
  const char* dbs[4] = {db, db, "   ", "   "};
  const char* users[4] = {com.user_id.data(), "   ", com.user_id.data(), "   "};
  // (database, user), (blank, user), (database, blank), (blank, blank).
  const char* order_db[4] = {dbs[0], dbs[2], dbs[1], dbs[3]};
  const char* order_user[4] = {users[0], users[2], users[1], users[3]};
  for (int i = 0; i < 4; ++i) {
    std::memset(static_cast<void*>(h), ' ', sizeof *h);
    std::memcpy(h, &key->invoc, 36);
    std::memcpy(h->db.data(), order_db[i], 3);
    std::memcpy(h->user.data(), order_user[i], 3);
    PROTO_FULL(g.hooks, 0, reinterpret_cast<uint8_t*>(h));
    if (fm_read(g.hooks) != 1) continue;
    key->invoc.app = h->t_app;
    key->invoc.ver = h->t_ver;
    key->invoc.type = h->t_type;
    key->invoc.name = h->t_proc;
    if (!h->t_db.blank()) std::memcpy(db, h->t_db.data(), 3);
    return 1;
  }
  return 0;
}

void fill_mhook() {
  if (!live(g.hooks)) return;
  Work* w = work();
  FmFdb fdb;
  INIT_DHOOK_FDB(&fdb, w->kdb, w->sdb);
  if (!FM_OPEN(&fdb, com.depth, 0, 1, 15)) return;
  FmArb* a = fdb.handle.get();
  DHook* h = &w->hook;
  PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(h));
  a->op = FM_OP_FIRST;
  fm_start(a);
  a->op = 0;
  while (fm_rdnxt(a) == 1) {
    if (!(h->active == "1")) continue;
    if (!h->user.blank() && std::memcmp(h->user.data(), com.user_id.data(), 3) != 0) continue;
    PROTO_FULL(g.hooks, 0, reinterpret_cast<uint8_t*>(h));
    if (fm_write(g.hooks) == 1) ++g.hook_count;
  }
  FM_CLOSE(a, 0);
}

// ========================================================== security ==
bool pi_prof_bit(const DProfile* prof, int32_t code) {
  if (!prof || code < 0) return false;
  uint32_t byte = uint32_t(code) / 8;
  if (byte >= sizeof prof->bits.b) return false;
  return (prof->bits.b[byte] >> (code % 8)) & 1;
}

int chk_exec_secr(Pcb* pcb, Pcb* parent) {
  EmHeader* em = pcb->module.get();
  int32_t code = em ? int32_t(em->exec_secr) : -1;
  char db[3] = {' ', ' ', ' '};
  if (parent) {
    auto* a5 = pi_area_rec<PdArea5>(parent, 5);
    auto* a9 = pi_area_rec<PdArea9>(parent, 9);
    if (pcb->invoc.kind == 2 && a5 && !a5->db.blank()) std::memcpy(db, a5->db.data(), 3);
    else if (a9) std::memcpy(db, a9->cur_db.data(), 3);
  }
  const DUser* u = pi_get_dusr(com.user_id.data());
  if (!u || u->profile.blank()) return 1;
  const DProfile* prof = pi_get_dprof(u->profile.data(), db);
  if (!prof) return 1;
  if (!pcb->profile) pcb->profile.set(MM_ALLOC(pi_pool(), sizeof(DProfile)));
  std::memcpy(pcb->profile.get(), prof, sizeof *prof);
  if (!blank3(db)) {
    const DDbxap* x = pi_get_ddbxap(db, pcb->invoc.app.data());
    if (!x) return 0;
    if (x->phase != 2) return 1;
  }
  return pi_prof_bit(prof, code) ? 1 : 0;
}

int pi_chk_secr(int32_t code, Pcb* pcb) {
  if (code == -1 || !pcb || !pcb->profile) return 1;
  auto* a9 = pi_area_rec<PdArea9>(pcb, 9);
  if (!a9 || a9->db_opts != 2) return 1;
  return pi_prof_bit(static_cast<const DProfile*>(pcb->profile.get()), code) ? 1 : 0;
}

// ===================================================== status, constraints ==
void pi_upd_stat(Pcb* pcb) {
  com.stat_db.clear();
  com.stat_app.clear();
  com.stat_ver.clear();
  for (Pcb* p = pcb; p; p = static_cast<Pcb*>(p->invoc.parent_pcb.get())) {
    if (p->invoc.app == "0LA") continue;
    auto* a11 = pi_area_rec<PdArea11>(p, 11);
    if (!a11) break;
    if (a11->app == "0AD") {
      if (auto* a9 = pi_area_rec<PdArea9>(p, 9)) {
        com.stat_app = a9->design_app;
        com.stat_ver = a9->design_ver;
      }
    } else {
      com.stat_app = a11->app;
      com.stat_ver = a11->ver;
      if (!(a11->app == "0SA") && !(a11->app == "0DB"))
        if (auto* a5 = pi_area_rec<PdArea5>(p, 5)) com.stat_db = a5->db;
    }
    break;
  }
  if (!pcb) return;
  switch (pcb->invoc.type) {
    case 1: proc_svc.mp_upd_stat(pcb); break;
    case 2: proc_svc.ip_upd_stat(pcb); break;
    default:
      if (pcb->invoc.type < 1 || pcb->invoc.type > 10) sys_err(__LINE__, "invoc_proc() - bad proc. type");
  }
}

void pi_set_cns(Pcb* pcb, uint8_t* record, size_t record_len) {
  const PiInvoc& v = pcb->invoc;
  if (v.auto_mode != 1) {
    // The caller's constraints as the stream control block keeps them.
    auto* scb = static_cast<uint8_t*>(pcb->cns_scb.get());
    if (!scb || rec::view<rec::U32>(scb).get() != 4) return;
    const auto& b = rec::view<PiCnsScb>(scb);
    const uint8_t* values = b.values.get();
    const uint8_t* ent = b.entries.get();
    size_t at = 0;
    for (uint32_t i = 0; values && ent && i < b.used; ++i) {
      uint16_t off = rec::view<rec::U16>(const_cast<uint8_t*>(ent) + 6 * i + 2).get();
      uint16_t len = rec::view<rec::U16>(const_cast<uint8_t*>(ent) + 6 * i + 4).get();
      if (size_t(off) + len > record_len || at + len > b.length) return;
      std::memcpy(record + off, values + at, len);
      at += len;
    }
    return;
  }
  // Automatic mode 1: each constraint in use, from the invocation.
  const uint8_t* pos = v.cns_positions.get();
  const uint8_t* desc = v.cns_descs.get();
  const uint8_t* values = v.cns_values.get();
  if (!pos || !desc || !values) return;
  for (uint32_t i = 0; i < v.cns_count; ++i) {
    const auto& d = rec::view<PiCnsDesc>(const_cast<uint8_t*>(desc) + 16 * i);
    if (!d.in_use) continue;
    uint16_t off = rec::view<rec::U16>(const_cast<uint8_t*>(pos) + 6 * i + 2).get();
    uint16_t len = d.length;
    if (size_t(off) + len > record_len || uint64_t(d.value_at) + len > v.cns_total) continue;
    std::memcpy(record + off, values + d.value_at, len);
  }
}

// ====================================================== registration ==
namespace {
int user_lookup(std::string_view login) {
  Work* w = work();
  FmFdb fdb;
  INIT_DUSR_FDB(&fdb, w->kdb, w->sdb);
  if (!FM_OPEN(&fdb, com.depth, 0, 1, 15)) return -1;
  FmArb* a = fdb.handle.get();
  auto* u = static_cast<DUser*>(MM_ALLOC(pi_pool(), sizeof(DUser)));
  std::memset(static_cast<void*>(u), ' ', sizeof *u);
  u->id.set(login);
  PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(u));
  int result;
  if (fm_read(a) == 1 && login.size() <= 3) {
    com.user_id = u->id;
    result = 1;
  } else {
    // An empty USER file lets everyone in.
    a->op = FM_OP_FIRST;
    fm_start(a);
    a->op = 0;
    result = fm_rdnxt(a) == 1 ? 0 : -1;
  }
  FM_CLOSE(a, 0);
  mm_free(u);
  return result;
}

bool user_start(PiInvoc* inv, bool* back_to_menu) {
  // Blank application and name: the defaults choose (USER record,
  // database, start-up menu, else the default menu).
  inv->app.clear();
  inv->name.clear();
  *back_to_menu = false;
  return true;
}
}  // namespace

void pi_register() {
  // Test hook: the engine as it was before the process manager (the
  // start-up process is named, not run).
  if (os_test_hook("QUVO_TEST_NO_PI")) return;
  os_set_init(OsInit::Pi, pi_init);
  os_set_user_lookup(user_lookup);
  os_hooks.pi_exec = pi_exec;
  os_hooks.user_start = user_start;
  os_hooks.start_failure = [] { return g.start_failure.c_str(); };
  os_hooks.start_check = pi_start_check;
  os_hooks.session_start = pi_session_start;
}
