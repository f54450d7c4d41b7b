// The built-in children of the frame processor and their work files: the
// runtime application's processes that option keys run (HELP, HELP OPTION,
// SET ENTRY ATTRIBUTES, SELECT ACCESS PATH, SCAN, the direct processes and
// the terminal emulator's hooks), the prepared invocations and the ENTRY,
// HELP and HELPOPT records they read and write.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <algorithm>

#include "executors/fp.h"
#include "executors/fpchld.h"
#include "executors/rt.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pc.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pigetd.h"
#include "process/pipcf.h"
#include "process/pishr.h"
#include "process/services.h"
#include "screen/wm.h"

namespace {

constexpr const char* kMod = "FP";

struct Bltin {
  FmArb* entry = nullptr;
  FmArb* help = nullptr;
  FmArb* helpopt = nullptr;
  PiInvoc entry_invoc, slct_invoc, help_itm_invoc, help_opt_invoc, scan_invoc;
  PiInvoc kea_start, kea_after;
  char kea_db[3] = {' ', ' ', ' '};
  bool dynakeys_off = false;
  bool keaterm_on = false;  // the terminal emulator's flag: off in this engine
} g;

// A record buffer in the arena (handles read and write only there).
template <class T>
struct Rec {
  T* p;
  Rec() : p(static_cast<T*>(MM_ALLOC(pc_scratch_pool(), sizeof(T)))) { std::memset(static_cast<void*>(p), ' ', sizeof(T)); }
  Rec(const Rec&) = delete;
  Rec& operator=(const Rec&) = delete;
  ~Rec() { mm_free(p); }
  T* operator->() const { return p; }
  T& operator*() const { return *p; }
  uint8_t* bytes() const { return reinterpret_cast<uint8_t*>(p); }
};

void prep(PiInvoc* v, const char* app, const char* ver, int type, int kind, std::string_view name) {
  os_invoc_template(v);
  v->app.set(app);
  v->ver.set(ver);
  v->type = uint8_t(type);
  v->kind = uint8_t(kind);
  v->name.set(name.substr(0, 30));
}

// A memory work file of "0LA" 00 in the session scope; HELPOPT is keyed by
// its first byte.
FmArb* create_work(const char* name, int rec_len, bool keyed, const char* err) {
  static auto* kdb = static_cast<FmKdb*>(arena::alloc_chunk(sizeof(FmKdb) + sizeof(FmSdb)));
  auto* sdb = reinterpret_cast<FmSdb*>(kdb + 1);
  FmFdb f;
  if (keyed) {
    init_sdb_func(sdb, 1, 0, 1, FM_SEG_BINARY, '+');
    INIT_KDB(kdb, 0, '+', 8, sdb, 1);
  }
  INIT_FDB(&f, FM_CLASS_MEMORY, rec_len, 0, keyed ? kdb : nullptr, keyed ? 1 : 0);
  INIT_LA_PATH(&f, "00", name, FM_PT_DATA);
  // A second start of the engine state finds the session's file.
  if (!FM_CREATE(&f, com.base_scope, 0, FM_OPT_CREATE, 15, 15)) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "%s (%u)", err, unsigned(f.status));
    return nullptr;
  }
  return f.handle.get();
}

PdStatus* status_rec(Pcb* pcb) { return pi_area_rec<PdStatus>(pcb, 7); }

EmCitm* item_of(Pcb* pcb, int item) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  PcbItemEnt* t = pcb ? pcb->item_tbl.get() : nullptr;
  if (!em || !t || item < 1 || item > int(em->n_items)) return nullptr;
  return t[item].citm.get();
}

// Runs a prepared invocation as a child of the PCB with its surfaces, the
// caller's region inactive meanwhile. With `db` the current database is
// that one during the run, and `keep` (n bytes) is put back after it: both
// however the run ends. The completion code; 37 through was_chld_corrupt.
int run_bltin(Pcb* pcb, const PiInvoc& prepared, const char* db = nullptr, void* keep = nullptr, size_t n = 0) {
  PiInvoc v = prepared;
  v.surface1 = pcb->surface1;
  v.surface2 = pcb->surface2;
  v.parent_pcb.set(pcb);
  v.completion = 0;
  rec::U32* reg = proc_svc.fp_get_reg(pcb, 0);
  uint32_t region = reg ? uint32_t(*reg) : 0;
  if (region) wm_deactv(region);
  int r = mark(0, [&] {
    if (db) {
      ut_add_reset(com.depth, com.cur_db.data(), com.cur_db.data(), 3);
      std::memcpy(com.cur_db.data(), db, 3);
    }
    if (keep) ut_add_reset(com.depth, keep, keep, n);
    pi_exec(&v);
  });
  if (r != 1) ut_unwind(r);
  if (region) wm_actv(region);
  if (v.completion == 37) was_chld_corrupt(&v, pcb);
  return v.completion;
}


// The look-up file of a compiled look-up: its file reference.
EmCfi* lookup_cfi(const EmCdlu* d) {
  if (!d || !d->ctl_ira) return nullptr;
  auto* slot = static_cast<Ref<uint8_t>*>(arena::at(d->ctl_ira.get()));
  auto* ctl = slot ? reinterpret_cast<PiFileCtl*>(slot->get()) : nullptr;
  return ctl ? ctl->cfi.get() : nullptr;
}

EmCdlu* find_cdlu(Pcb* pcb, int number) {
  EmHeader* em = pcb->module.get();
  FmArb* f = em ? em->cdlu.get() : nullptr;
  if (!f || !fm_is_handle(f) || number < 1 || number > 65535) return nullptr;
  static auto* k = static_cast<uint8_t*>(arena::alloc_chunk(8));
  rec::view<rec::U16>(k) = uint16_t(number);
  f->key_no = 0;
  f->key.set(k);
  f->key_len = 2;
  uint8_t* r = fm_read_fast(f, FM_OP_KEY);
  f->op = 0;
  f->key.reset();
  f->key_len = 0;
  return reinterpret_cast<EmCdlu*>(r);
}

bool numeric_type(int t) { return t == 5 || t == 8 || t == 12; }
bool date_type(int t) { return t == 4 || t == 7 || t == 10 || t == 15; }

}  // namespace

FmArb* fp_entry_file() { return g.entry; }
FmArb* fp_help_file() { return g.help; }
FmArb* fp_helpopt_file() { return g.helpopt; }
bool fp_dynakeys_off() { return g.dynakeys_off; }
void fp_set_keaterm(bool on) { g.keaterm_on = on; }

const PiInvoc* fp_bltin_invoc(const char* name) {
  std::string_view n(name);
  if (n == "SET ENTRY ATTRIBUTES") return &g.entry_invoc;
  if (n == "SELECT ACCESS PATH") return &g.slct_invoc;
  if (n == "HELP") return &g.help_itm_invoc;
  if (n == "HELP OPTION") return &g.help_opt_invoc;
  if (n == "SCAN") return &g.scan_invoc;
  if (n == "KEATERM (START OF IMAGE)") return &g.kea_start;
  if (n == "KEATERM (AFTER CHILD)") return &g.kea_after;
  return nullptr;
}

int fp_bltin_init() {
  g.entry = create_work("ENTRY", sizeof(FpEntry), false, "can't create ENTRY file");
  if (!g.entry) return 0;
  g.help = create_work("HELP", sizeof(FpHelp), false, "can't create HELP file");
  if (!g.help) return 0;
  g.helpopt = create_work("HELPOPT", sizeof(FpHelpOpt), true, "can't create HELPOPT file");
  if (!g.helpopt) return 0;
  {
    Rec<FpEntry> e;
    if (!rt_upd_first(g.entry, e.p, sizeof(FpEntry))) {
      std::snprintf(ut_dbg, sizeof ut_dbg, "can't add ENTRY");
      return 0;
    }
  }
  prep(&g.entry_invoc, "0LA", "00", 2, 0, "SET ENTRY ATTRIBUTES");
  prep(&g.slct_invoc, "0LA", "00", 2, 0, "SELECT ACCESS PATH");
  prep(&g.help_itm_invoc, "0LA", "00", 2, 0, "HELP");
  prep(&g.help_opt_invoc, "0LA", "00", 2, 0, "HELP OPTION");
  const char* scan = std::getenv("QUVO_SCAN_PROC");
  prep(&g.scan_invoc, "0LA", "00", 6, 0, scan && *scan ? scan : "SCAN");
  g.scan_invoc.query_edit_mode = '1';  // the scan may back out of its first frame
  const DSysparm* sp = pi_get_dsysparm();
  bool from_sp = sp && !sp->kea_app.blank();
  prep(&g.kea_start, from_sp ? sp->kea_app.str().c_str() : "0AD", from_sp ? sp->kea_ver.str().c_str() : "00", 6, 2,
       from_sp && !sp->kea_start.blank() ? sp->kea_start.str() : "KEATERM (START OF IMAGE)");
  prep(&g.kea_after, from_sp ? sp->kea_app.str().c_str() : "0AD", from_sp ? sp->kea_ver.str().c_str() : "00", 6, 2,
       from_sp && !sp->kea_after.blank() ? sp->kea_after.str() : "KEATERM (AFTER CHILD)");
  std::memcpy(g.kea_db, from_sp ? sp->kea_db.data() : "   ", 3);
  const char* off = std::getenv("QUVO_DISABLE_DYNAKEYS");
  g.dynakeys_off = off && *off;
  g.keaterm_on = false;
  return 1;
}

void bld_help_itm(Pcb* pcb, uint8_t* record, int item) {
  auto& h = rec::view<FpHelp>(record);
  std::memset(record, ' ', sizeof(FpHelp));
  const EmCitm* c = item_of(pcb, item);
  if (!c) return;
  auto flag = [](bool on) { return on ? "1" : "0"; };
  h.kind = 4;
  h.item_no = c->item_no;
  h.occ_low = uint8_t(c->occ & 0xFF);
  h.field.set(c->field.view());
  h.entry_level = c->disp;
  h.optional.set(flag(c->flag == 1));
  h.next.set(flag(c->flag58 == 1));
  h.display = c->use;
  h.redisplay.set(flag(c->flag60 == 1));
  h.zero.set("0");
  h.use2 = c->use2;
  h.input.set(flag(c->input == 1));
  h.use2_one.set(flag(c->use2 == 1));
  h.pcf_fld = c->pcf_fld;
  int type = c->wm.data_type;
  h.seq_incr = 0;
  h.is_signed.set(numeric_type(type) ? "0" : " ");
  h.date_fmt = date_type(type) ? c->wm.cnv_b29 : uint8_t(' ');
  if (type == 1 || numeric_type(type) || date_type(type)) h.mask = c->wm.mask;
  if (numeric_type(type) && (c->wm.mask.view().find('-') != std::string_view::npos ||
                             c->wm.mask.view().find('+') != std::string_view::npos))
    h.is_signed.set("1");
  h.b1378 = 0;
  h.lk_fail = 0;
  if (EmCdlu* d = c->lk_no ? find_cdlu(pcb, c->lk_no) : nullptr) {
    if (EmCfi* f = lookup_cfi(d)) {
      h.lk_app.set(f->fdb.app.view());
      h.lk_file.set(f->fdb.name.view());
      h.lk_db.set(f->fdb.db.view().substr(0, 2));
    }
    h.lk_exact.set(flag(d->flag130 == 1));
    h.lk_fail = d->b132;
  }
  h.words[0] = c->secr[0];
  h.words[1] = c->secr[1];
  // Last: the marker takes byte 4, the occurrence's high byte.
  h.marker = 255;
}

int fp_opt_help(Pcb* pcb) {
  int item = int(pcb->run.cur_item);
  if (!item_of(pcb, item)) {
    // HELP is the help of a field: without one under the cursor it says so.
    if (FmArb* q = pcb->msg_file.get()) la_add_msg(3, q, uint32_t(300590), 0);
    return 0;
  }
  Rec<FpHelp> r;
  bld_help_itm(pcb, r.bytes(), item);
  if (!rt_upd_first(g.help, r.p, sizeof(FpHelp))) {
    checkstat(g.help ? uint32_t(g.help->status) : 0, "can't upd HELP", kMod, __LINE__);
    return 0;
  }
  run_bltin(pcb, g.help_itm_invoc);
  return 0;
}

int fp_opt_help_opt(Pcb* pcb) {
  FmArb* f = g.helpopt;
  if (!f) return 0;
  Rec<FpHelpOpt> r;
  PROTO_FULL(f, 0, r.bytes());
  if (!fm_del_all(f) && f->status != FM_ST_EOF) {
    checkstat(f->status, "empty helpopt", kMod, __LINE__);
    return 0;
  }
  EmHeader* em = pcb->module.get();
  PcbChildEnt* t = pcb->child_tbl.get();
  uint32_t image = pcb->run.image;
  int written = 0;
  for (uint32_t s = 1; em && t && image && s <= em->n_children; ++s) {
    const EmCchld* c = t[s].cchld.get();
    if (!c || c->image_seq != image || c->child_no > 255) continue;
    std::memset(r.bytes(), ' ', sizeof(FpHelpOpt));
    r->option = uint8_t(c->child_no);
    r->app = c->invoc.app;
    r->type = c->invoc.type;
    r->name = c->invoc.name;
    PROTO_FULL(f, 0, r.bytes());
    if (!fm_write(f)) {
      checkstat(f->status, "write help", kMod, __LINE__);
      return 0;
    }
    ++written;
  }
  if (written) run_bltin(pcb, g.help_opt_invoc);
  else if (FmArb* q = pcb->msg_file.get()) la_add_msg(3, q, uint32_t(300590), 0);  // no options to list
  return 0;
}

int fp_opt_entry_attrs(Pcb* pcb) {
  auto* a3 = pi_area_rec<PdArea3>(pcb, 3);
  PcbItemEnt* it = pcb->item_tbl.get();
  int item = item_of(pcb, int(pcb->run.cur_item)) ? int(pcb->run.cur_item) : 0;
  Rec<FpEntry> e;
  rt_read_first(g.entry, e.p, sizeof(FpEntry));
  if (a3) {
    e->auto_readnext = a3->auto_readnext;
    e->exact_key = a3->exact_key;
  }
  e->carry.set(item ? (it[item].carry ? "1" : "0") : " ");
  if (!rt_upd_first(g.entry, e.p, sizeof(FpEntry))) {
    checkstat(g.entry ? uint32_t(g.entry->status) : 0, "can't upd ENTRY", kMod, __LINE__);
    return 0;
  }
  int code = run_bltin(pcb, g.entry_invoc);
  if (code == 4 || code == 37) return 0;
  if (!rt_read_first(g.entry, e.p, sizeof(FpEntry))) {
    checkstat(g.entry ? uint32_t(g.entry->status) : 0, "can't read ENTRY", kMod, __LINE__);
    return 0;
  }
  if (a3 && !e->auto_readnext.blank()) a3->auto_readnext = e->auto_readnext;
  if (a3 && !e->exact_key.blank()) a3->exact_key = e->exact_key;
  if (item && e->carry.data()[0] == '1') it[item].carry = 1;
  if (item && e->carry.data()[0] == '0') it[item].carry = 0;
  return 0;
}

int fp_opt_direct(Pcb* pcb, int opt) {
  PiInvoc v;
  if (opt == 272) {
    const DSysparm* sp = pi_get_dsysparm();
    if (!sp || sp->dp1_type == 255 || sp->dp1_app.blank() || sp->dp1_name.blank()) return 0;
    prep(&v, sp->dp1_app.str().c_str(), "  ", sp->dp1_type, 2, sp->dp1_name.str());
    char db[3];
    std::memcpy(db, sp->dp1_db.data(), 3);
    run_bltin(pcb, v, db);
    return 0;
  }
  char app[4] = {}, ver[3] = {};
  std::memcpy(app, pcb->invoc.app.data(), 3);
  std::memcpy(ver, pcb->invoc.ver.data(), 2);
  const DParam* p = pi_get_dparm(app, ver);
  if (!p || p->dp2_app.blank() || p->dp2_name.blank()) return 0;
  std::string to_app = p->dp2_app.str();
  prep(&v, to_app.c_str(), IS_ZUB_AP(to_app.c_str()) ? "00" : ver, p->dp2_type, 2, p->dp2_name.str());
  if (std::string_view(app) == "0AD") {
    v.kind = 0;
    v.reserved_text.set("TEST");
    PdStatus* st = status_rec(pcb);
    if (st) {
      run_bltin(pcb, v, nullptr, st->next_ver.data(), 2);
      return 0;
    }
  }
  run_bltin(pcb, v);
  return 0;
}

void fp_keaterm(Pcb* pcb, int which) {
  if (!g.keaterm_on || !pcb || !pcb->run.image) return;
  EmHeader* em = pcb->module.get();
  PcbFrameEnt* ft = pcb->frame_tbl.get();
  uint32_t fs = pcb->run.frame;
  EmCfrm* fr = em && ft && fs >= 1 && fs <= em->n_frames ? ft[fs].cfrm.get() : nullptr;
  if (!fr || !fr->interactive) return;
  if (auto* a11 = pi_area_rec<PdArea11>(pcb, 11); which == 1 && a11 && a11->phase == 5) return;
  char db[3];
  std::memcpy(db, g.kea_db, 3);
  run_bltin(pcb, which == 1 ? g.kea_start : g.kea_after, db);
}

int fp_opt_scan(Pcb* pcb) {
  auto* a11 = pi_area_rec<PdArea11>(pcb, 11);
  bool key_entry = a11 && a11->phase == 6;
  if (!item_of(pcb, int(pcb->run.cur_item)) && !(a11 && a11->mode == 1) && !key_entry) {
    if (FmArb* q = pcb->msg_file.get()) la_add_msg(3, q, uint32_t(300590), 0);
    return 0;
  }
  // Without a scan process in the runtime application the key is not
  // available (the screen and what was typed on it stay).
  if (!pi_proc_exists(g.scan_invoc)) {
    if (FmArb* q = pcb->msg_file.get()) la_add_msg(3, q, uint32_t(300590), 0);
    return 0;
  }
  run_bltin(pcb, g.scan_invoc);
  PdStatus* st = status_rec(pcb);
  if (!st || st->option != 22) return 0;
  st->next_child.set("+   ");
  if (rec::U32* reg = proc_svc.fp_get_reg(pcb, 0); reg && uint32_t(*reg)) wm_deactv(uint32_t(*reg));
  return key_entry ? kFpScanChose : kFpDone;
}

int fp_opt_select_key(Pcb* pcb) {
  auto* a11 = pi_area_rec<PdArea11>(pcb, 11);
  if (a11 && a11->phase == 6) return fp_slct_path(pcb);
  if (g.dynakeys_off) return 0;
  EmCitm* c = item_of(pcb, int(pcb->run.cur_item));
  if (!c || !c->wm.value) return 0;
  auto* seg = static_cast<PiDynaSeg*>(MM_ALLOC(pc_scratch_pool(), sizeof(PiDynaSeg)));
  std::memset(static_cast<void*>(seg), 0, sizeof *seg);
  seg->field = c->wm.value;
  seg->type = c->wm.data_type;
  seg->order = '+';
  seg->length = c->wm.length;
  char name[64];
  std::snprintf(name, sizeof name, "%*.*s %*.*s", 22, 22, c->field.data(), 30, 30, c->text1.data());
  seg->name.set(name);
  pi_dyna_add(pcb, seg);
  mm_free(seg);
  return 0;
}

namespace {

struct Path {
  char name[30];
  uint8_t key_no;
};

// The access paths of the process's own file: the labels of its key
// elements in key order, up to the first blank one; key 0 always, the
// others when their element is flagged selectable.
std::vector<Path> access_paths(Pcb* pcb) {
  std::vector<Path> out;
  EmHeader* em = pcb->module.get();
  if (!em || em->pcf_name.blank()) return out;
  char app[4] = {}, ver[3] = {};
  std::memcpy(app, em->pcf_app.data(), 3);
  std::memcpy(ver, IS_ZUB_AP(app) ? "00" : pcb->invoc.ver.data(), 2);
  std::vector<DElem> all, keys;
  pi_file_elems(app, ver, em->pcf_name, &all);
  for (const DElem& e : all)
    if (e.key_kind != 255 && e.work != '1') keys.push_back(e);
  std::stable_sort(keys.begin(), keys.end(), [](const DElem& a, const DElem& b) { return a.key_no < b.key_no; });
  for (const DElem& k : keys) {
    if (out.size() >= size_t(kFpEntryPaths) || k.label.blank()) break;
    if (k.key_no != 0 && k.flag92 != '1') continue;
    Path p;
    std::memcpy(p.name, k.label.data(), 30);
    p.key_no = k.key_no;
    out.push_back(p);
  }
  return out;
}

int mode_result(Pcb* pcb) {
  auto* a11 = pi_area_rec<PdArea11>(pcb, 11);
  switch (a11 ? int(a11->mode) : 0) {
    case 2: return kFpDelete;
    case 3: return kFpInquire;
    case 4: return kFpChange;
    default: os_sys_err_text(kMod, __LINE__, "shouldn't be here"); return 0;
  }
}

int use_path(Pcb* pcb, FmArb* st, uint8_t key_no) {
  if (st->key_no == key_no) return 0;
  st->key_no = key_no;
  return mode_result(pcb);
}

}  // namespace

int fp_slct_path(Pcb* pcb) {
  FmArb* st = pcb->pcf_stream.get();
  if (!st) return 0;
  if (pcb->dyna) {
    pi_dyna_add(pcb, nullptr);
    st->key_no = 255;
  }
  std::vector<Path> paths = access_paths(pcb);
  if (paths.empty()) return 0;
  if (paths.size() == 1) return use_path(pcb, st, paths[0].key_no);
  // "Query" is one of the 17 entries: a path past them gives way to it.
  bool query = !pcb->invoc.query_app.blank();
  if (query && paths.size() >= size_t(kFpEntryPaths)) paths.resize(kFpEntryPaths - 1);
  Rec<FpEntry> e;
  rt_read_first(g.entry, e.p, sizeof(FpEntry));
  e->choice = 0;
  for (auto& p : e->path) p.clear();
  std::memset(e->key_no, 0, sizeof e->key_no);
  for (size_t i = 0; i < paths.size(); ++i) {
    e->path[i].set(std::string_view(paths[i].name, 30));
    e->key_no[i] = paths[i].key_no;
  }
  if (query) e->path[paths.size()].set("Query");
  if (!rt_upd_first(g.entry, e.p, sizeof(FpEntry))) {
    checkstat(g.entry ? uint32_t(g.entry->status) : 0, "can't add ENTRY", kMod, __LINE__);
    return 0;
  }
  int code = run_bltin(pcb, g.slct_invoc);
  if (code == 4 || code == 37) return 0;
  if (!rt_read_first(g.entry, e.p, sizeof(FpEntry))) {
    checkstat(g.entry ? uint32_t(g.entry->status) : 0, "can't read ENTRY", kMod, __LINE__);
    return 0;
  }
  size_t choice = e->choice;
  if (choice < 1 || choice > paths.size()) return 0;
  return use_path(pcb, st, paths[choice - 1].key_no);
}
