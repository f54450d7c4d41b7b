// The executable module: its sub-file table, a new empty module and the
// constructor build_em. See pl.h and emrec.h.
#include <cassert>
#include <cstdio>
#include <cstring>

#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/emrec.h"
#include "process/pigetd.h"
#include "process/pl.h"
#include "process/plint.h"

namespace {

constexpr const char* kMod = "PL.C";

void sys_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
}

EmCompiler g_compiler = nullptr;

// Descriptor areas for the builders (arena memory, taken once).
struct Areas {
  FmKdb kdb[FM_CAT_KDB_AREA];
  FmSdb sdb[FM_CAT_SDB_AREA];
};
Areas* areas() {
  static Areas* a = static_cast<Areas*>(arena::alloc_chunk(sizeof(Areas)));
  return a;
}

}  // namespace

const EmSub em_subs[kEmSubs] = {
    {"CAP", "AP", &EmHeader::cap, true},       {"CFI", "FI", &EmHeader::cfi, true},
    {"CFLD", "FL", &EmHeader::cfld, true},     {"CLIB", "LI", &EmHeader::clib, true},
    {"INST", "IN", &EmHeader::inst, true},     {"CFRM", "FR", &EmHeader::cfrm, true},
    {"CIMG", "IM", &EmHeader::cimg, true},     {"CCHR", "CR", &EmHeader::cchr, true},
    {"CCHLD", "CL", &EmHeader::cchld, true},   {"CITM", "IT", &EmHeader::citm, true},
    {"CNST", "CN", &EmHeader::cnst, true},     {"CV", "CV", &EmHeader::cv, true},
    {"KDB", "KD", &EmHeader::kdb, true},       {"SDB", "SD", &EmHeader::sdb, true},
    {"CDLU", "DL", &EmHeader::cdlu, true},     {"PK", "PK", &EmHeader::pk, true},
    {"QSLCT", "QL", &EmHeader::qslct, true},   {"QSORT", "QO", &EmHeader::qsort, true},
    {"SUM", "SR", &EmHeader::sum, true},       {"CTOK", "CT", &EmHeader::ctok, true},
    {"SCAN", "SC", &EmHeader::scan, true},     {"RECURSE", "RC", &EmHeader::recurse, false},
    {"LOC", nullptr, &EmHeader::loc, false},   {"SCANB", "SB", &EmHeader::scanb, false},
};

const EmSub* em_sub(const char* label) {
  for (const EmSub& s : em_subs)
    if (std::strcmp(s.label, label) == 0) return &s;
  return nullptr;
}

void em_sub_fdb(const EmSub& s, FmFdb* fdb, FmKdb* kdb, FmSdb* sdb) {
  const char* c = s.code;
  assert(c != nullptr);
  if (!std::strcmp(c, "AP")) em_cap_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "FI")) em_cfi_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "FL")) em_cfld_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "LI")) em_clib_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "IN")) INIT_INST_FDB(fdb);
  else if (!std::strcmp(c, "FR")) em_cfrm_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "IM")) em_cimg_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "CR")) em_cchr_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "CL")) em_cchld_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "IT")) em_citm_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "CN")) em_cnst_fdb(fdb);
  else if (!std::strcmp(c, "CV")) em_cnv_fdb(fdb);
  else if (!std::strcmp(c, "KD")) em_kdb_fdb(fdb);
  else if (!std::strcmp(c, "SD")) em_sdb_fdb(fdb);
  else if (!std::strcmp(c, "DL")) em_cdlu_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "PK")) em_pcf_key_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "QL")) em_em_qslct_fdb(fdb);
  else if (!std::strcmp(c, "QO")) em_em_qsort_fdb(fdb);
  else if (!std::strcmp(c, "SR")) em_sum_ref_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "CT")) em_ctoken_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "SC")) em_scan_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "RC")) em_recurse_fdb(fdb, kdb, sdb);
  else if (!std::strcmp(c, "SB")) em_scan_bud_fdb(fdb);
  // The builders whose identity the caller sets.
  if (!std::strcmp(c, "CR") || !std::strcmp(c, "IT")) INIT_UNIQUE_PATH(fdb, "EM", c, FM_PT_DATA);
}

void em_set_compiler(EmCompiler fn) { g_compiler = fn; }

// Creates sub-file s of the module in the base scope; its handle or null
// after the system error.
FmArb* em_create_sub(EmHeader* em, const EmSub& s) {
  Areas* a = areas();
  FmFdb fdb;
  em_sub_fdb(s, &fdb, a->kdb, a->sdb);
  if (!FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "EM sub-file %s create failed (%u)", s.label, uint32_t(fdb.status));
    os_sys_err(kMod, __LINE__);
    return nullptr;
  }
  (em->*s.slot).set(fdb.handle.get());
  return fdb.handle.get();
}

EmHeader* em_new_header(const Pcb* pcb) {
  MmPool plp = mm_create_pool(" PL_POOL", com.base_scope, 0);
  auto* em = static_cast<EmHeader*>(MM_ALLOC(plp, sizeof(EmHeader)));
  std::memset(static_cast<void*>(em), 0, sizeof *em);
  em->pool = mm_create_pool(nullptr, com.base_scope, 0);
  em->pool_scope = com.base_scope;
  em->app = pcb->invoc.app;
  em->ver = pcb->invoc.ver;
  em->proc_type = pcb->invoc.type;
  em->proc_name = pcb->invoc.name;
  em->lang = pcb->lang;
  return em;
}

namespace {

// Sub-files of freed modules (and those a compile found empty), emptied,
// for the next modules: making a memory file costs more than a compile of a
// small process. Kept per slot of em_subs, then TOC and TRAP (and the
// compile's work files LF and TDLU, taken by compiles in the same way), a few of each,
// every handle with its number, file block and file name (so that a handle
// closed meanwhile, and its block taken by another, is never taken for it).
struct SpareSub {
  FmArb* h = nullptr;
  uint32_t id = 0;
  FmFile* file = nullptr;
  char name[8] = {};
};
constexpr size_t kSpares = 2;           // per slot
constexpr int kSpareToc = kEmSubs, kSpareTrap = kEmSubs + 1, kSpareLf = kEmSubs + 2, kSpareTdlu = kEmSubs + 3,
              kSpareSlots = kEmSubs + 4;
std::vector<SpareSub>& spares(int slot) {
  static std::vector<SpareSub> v[kSpareSlots];
  return v[slot];
}

// A spare handle still as it was kept: open in the base scope on the same
// memory file.
FmArb* take(const SpareSub& k) {
  FmArb* h = k.h;
  if (!h || !fm_is_handle(h) || h->fm_id != k.id || h->scope != com.base_scope || h->file.get() != k.file)
    return nullptr;
  const FmFdb& d = k.file->fdb;
  if (d.fclass != FM_CLASS_MEMORY || std::memcmp(d.name.data(), k.name, 8) != 0) return nullptr;
  return h;
}
FmArb* take_spare(int slot) {
  auto& v = spares(slot);
  while (!v.empty()) {
    SpareSub k = v.back();
    v.pop_back();
    if (FmArb* h = take(k)) return h;
  }
  return nullptr;
}

// Keeps the handle of a slot emptied when there is room; false when it is
// not kept (the caller scratches it).
bool keep(int slot, FmArb* h) {
  if (spares(slot).size() >= kSpares || !fm_mem_reset_in(h, com.base_scope)) return false;
  SpareSub k;
  k.h = h;
  k.id = h->fm_id;
  k.file = h->file.get();
  std::memcpy(k.name, k.file->fdb.name.data(), 8);
  spares(slot).push_back(k);
  return true;
}

int slot_of(Ref<FmArb> EmHeader::*slot) {
  for (int i = 0; i < kEmSubs; ++i)
    if (em_subs[i].code && em_subs[i].slot == slot) return i;
  if (slot == &EmHeader::toc) return kSpareToc;
  if (slot == &EmHeader::trap) return kSpareTrap;
  return -1;
}

}  // namespace

void em_keep_subs(EmHeader* em) {
  for (int i = 0; i < kEmSubs; ++i)
    if (em_subs[i].code && keep(i, (em->*em_subs[i].slot).get())) (em->*em_subs[i].slot).reset();
  if (keep(kSpareToc, em->toc.get())) em->toc.reset();
  if (keep(kSpareTrap, em->trap.get())) em->trap.reset();
}

int em_drop_sub(EmHeader* em, Ref<FmArb> EmHeader::*slot) {
  FmArb* h = (em->*slot).get();
  (em->*slot).reset();
  int i = slot_of(slot);
  if (!h || (i >= 0 && keep(i, h))) return 1;
  return FM_CLOSE(h, FM_CL_SCRATCH);
}

void em_spares_forget() {
  for (int i = 0; i < kSpareSlots; ++i) spares(i).clear();
}

void pl_spares_release() {
  std::vector<FmArb*> hs;
  for (int i = 0; i < kSpareSlots; ++i)
    while (FmArb* h = take_spare(i)) hs.push_back(h);
  for (FmArb* h : hs) FM_CLOSE(h, FM_CL_SCRATCH);
}

FmArb* em_spare_toc(bool trap) { return take_spare(trap ? kSpareTrap : kSpareToc); }
FmArb* em_spare_work(bool tdlu) { return take_spare(tdlu ? kSpareTdlu : kSpareLf); }
bool em_keep_work(bool tdlu, FmArb* h) { return keep(tdlu ? kSpareTdlu : kSpareLf, h); }

EmHeader* em_new(const Pcb* pcb) {
  EmHeader* em = em_new_header(pcb);
  for (int i = 0; i < kEmSubs; ++i) {
    const EmSub& s = em_subs[i];
    if (!s.code) continue;
    if (FmArb* h = take_spare(i)) {
      (em->*s.slot).set(h);
      continue;
    }
    if (!em_create_sub(em, s)) {
      pl_free(em, 1);
      return nullptr;
    }
  }
  return em;
}


namespace {

uint8_t flag1(const rec::Text<1>& t) { return t[0] == '1' ? 1 : 0; }

// The header fields the definition gives.
void fill_header(EmHeader* em, const DProc* d) {
  em->b1[0] = uint8_t(kEmFormat);
  em->b1[1] = uint8_t(kEmFormat >> 8);
  em->b1[2] = uint8_t(kEmFormat >> 16);
  em->proc_class = d->proc_class;
  em->retention = d->retention;
  em->created_day = rec::view<rec::U32>(d->added.b);
  em->created_time = rec::view<rec::U32>(d->added.b + 4);
  em->changed_day = rec::view<rec::U32>(d->changed.b);
  em->changed_time = rec::view<rec::U32>(d->changed.b + 4);
  em->def89 = uint8_t(d->b89[0]);
  em->exec_secr = ut_xlate_secr(d->secr[0].data());
  em->secr2 = ut_xlate_secr(d->secr[1].data());
  em->secr3 = ut_xlate_secr(d->secr[2].data());
  em->secr4 = ut_xlate_secr(d->secr[3].data());
  for (int i = 0; i < 3; ++i) em->flags106[i] = flag1(d->flag106[i]);
  em->dflt_mode = em_dflt_mode(d->default_mode);
  em->pcf_app = d->pcf_app;
  em->pcf_name = d->pcf_file;
  em->blank107.clear();
  em->blank110.clear();
  em->blank118.clear();
  em->dflt_auto_rdnxt[0] = em_dflt_flag(d->auto_readnext[0]);
  em->dflt_exact_key[0] = em_dflt_flag(d->exact_key[0]);
  em->dflt_cancel_ok[0] = em_dflt_flag(d->cancel_ok[0]);
  std::memcpy(em->def179.b, &d->w179, 2);
  em->def179[2] = uint8_t(d->b181[0]);
  std::memcpy(em->def182.b, d->b182.data(), 30);
  std::memcpy(em->def213.b, d->rpt_app.data(), 3);
  std::memcpy(em->def216.b, d->rpt_name.data(), 30);
  std::memcpy(em->def246.b, d->text246.data(), 60);
  std::memcpy(em->def306.b, &d->w306, 2);
  // Output and Inquiry keep their own 60-character title; the others the
  // title followed by 30 blanks.
  if (d->proc_type == 3 || d->proc_type == 9) {
    std::memcpy(em->title.b, d->title60.data(), 60);
  } else {
    std::memcpy(em->title.b, d->title.data(), 30);
    std::memset(em->title.b + 30, ' ', 30);
  }
  std::memcpy(em->def368.b, d->name368.data(), 4);
  std::memcpy(em->def372.b, d->name368.data() + 4, 4);
  for (int i = 0; i < 2; ++i) em->flags376[i] = flag1(d->flag376[i]);
  std::memcpy(em->def378.b, d->b378.data(), 2);
  for (int i = 0; i < 2; ++i) em->flags380[i] = flag1(d->flag380[i]);
  em->def382 = uint8_t(d->b382[0]);
  em->def31 = flag1(d->flag31);
  em->def383 = uint8_t(d->b383[0]);
}

}  // namespace

int build_em(const DProc* def, Pcb* pcb, int compile_flag) {
  if (!def) {
    sys_err(__LINE__, "NULL dproc pointer");
    return 0;
  }
  if (!pcb) {
    sys_err(__LINE__, "NULL pcb pointer");
    return 0;
  }
  open_dap();
  bool restructure = pcb->invoc.app == "0DN" && pcb->invoc.name == "RESTRUCTURE";
  if (!restructure && !pi_get_dap(pcb->invoc.app.data(), pcb->invoc.ver.data())) {
    pcb->invoc.completion = int32_t(kPlNoDefinition);
    return 0;
  }
  EmHeader* em = em_new(pcb);
  if (!em) {
    pcb->invoc.completion = int32_t(kPlNoDefinition);
    return 0;
  }
  fill_header(em, def);
  em->use_count = 1;
  pcb->module.set(em);
  EmCmplCtx ctx{def, pcb, em, compile_flag, int(kPlNoDefinition)};
  int ok = g_compiler ? g_compiler(&ctx) : 0;
  if (ok) {
    em->saved = def->save_flag[0] != '0' ? 1 : 0;
    return 1;
  }
  pcb->invoc.completion = ctx.code;
  pcb->module.reset();
  em->use_count = 0;
  pl_free(em, 1);
  return 0;
}
