// The process compiler driver: pc_cmpl and its 13 steps, the work files of
// a compile, the CMPL_ERR records and their list. See pc.h.
#include "process/pc.h"

#include <cassert>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pigetd.h"
#include "process/pl.h"
#include "process/services.h"

namespace {

constexpr const char* kMod = "PC.C";

void sys_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
}

PcStmtCompiler g_stmt_compiler = nullptr;
FmArb* g_cmpl_err = nullptr;
uint32_t g_compiles = 0;

struct Areas {
  FmKdb kdb[FM_CAT_KDB_AREA];
  FmSdb sdb[FM_CAT_SDB_AREA];
};
Areas* areas() {
  static Areas* a = static_cast<Areas*>(arena::alloc_chunk(sizeof(Areas)));
  return a;
}

bool type_in(int t, std::initializer_list<int> list) {
  for (int x : list)
    if (x == t) return true;
  return false;
}

// A memory work file of the compile, in the given scope; null after the
// system error.
FmArb* create_work(void (*fill)(FmFdb*, FmKdb*, FmSdb*), int scope, const char* text) {
  Areas* a = areas();
  FmFdb fdb;
  fill(&fdb, a->kdb, a->sdb);
  if (!FM_CREATE(&fdb, scope, 0, 0, 15, 15)) {
    checkstat(fdb.status, text, kMod, __LINE__);
    return nullptr;
  }
  return fdb.handle.get();
}

// A work file of the compile goes back emptied for the next compile (or is
// scratched when there is no room for it).
void give_back(FmArb*& slot, bool tdlu) {
  FmArb* f = slot;
  slot = nullptr;
  if (!f || em_keep_work(tdlu, f)) return;
  if (!FM_CLOSE(f, FM_CL_SCRATCH) && !tdlu) checkstat(f->status, "bad dlf close and scratch", kMod, __LINE__);
}

}  // namespace

uint32_t pc_last_dstmt_sno = 0;
PiInvoc cmpl_err_invoc{};

void pc_set_stmt_compiler(PcStmtCompiler fn) { g_stmt_compiler = fn; }
PcStmtCompiler pc_stmt_compiler() { return g_stmt_compiler; }

MmPool pc_scratch_pool() {
  static MmPool pool = mm_create_pool(" PCPOOL ", 0, 0);
  return pool;
}
uint32_t pc_compile_count() { return g_compiles; }
FmArb* pc_cmpl_err_file() { return g_cmpl_err; }

// ------------------------------------------------------------ tables --
uint8_t area_shr_tbl[5];
uint8_t area_non_shr_tbl[25];
uint8_t ipc_cat_tbl[25];

uint8_t pc_shr(int s) { return s >= 0 && s <= 3 ? area_shr_tbl[s + 1] : 0; }
uint8_t pc_non_shr(int a, int b) {
  return a >= 0 && a <= 3 && b >= 0 && b <= 3 ? area_non_shr_tbl[5 * (a + 1) + b + 1 - 5] : 0;
}
uint8_t pc_ipc_cat(int a, int b) {
  return a >= 0 && a <= 3 && b >= 0 && b <= 3 ? ipc_cat_tbl[5 * (a + 1) + b + 1 - 5] : 0;
}

int pc_init() {
  pc_src_forget(false);
  static const uint8_t shr[4] = {0, 16, 32, 64};
  static const uint8_t hi[4] = {0, 16, 32, 64};
  static const uint8_t lo[4] = {0, 2, 4, 8};
  std::memset(area_shr_tbl, 0, sizeof area_shr_tbl);
  std::memset(area_non_shr_tbl, 0, sizeof area_non_shr_tbl);
  std::memset(ipc_cat_tbl, 0, sizeof ipc_cat_tbl);
  for (int s = 0; s <= 3; ++s) area_shr_tbl[s + 1] = shr[s];
  // Index 5 x (a + 1) + b + 1 of 25 entries, counted from 1 (entry 0 is
  // index 1, so row a = 0 starts at 5).
  for (int a = 0; a <= 3; ++a)
    for (int b = 0; b <= 3; ++b) {
      int i = 5 * (a + 1) + b + 1 - 5;
      area_non_shr_tbl[i] = (a == 0 || b == 0) ? 0 : uint8_t(hi[a] + lo[b]);
      ipc_cat_tbl[i] = a == 0 ? 0 : uint8_t((a - 1) * 4 + b + 1);
    }
  return 1;
}

const PcPcfStamp pc_pcf_stamps[8] = {
    {6, false, false, 0}, {7, false, false, 0}, {4, true, true, 0}, {5, true, true, 1},
    {0, false, false, 0}, {1, false, false, 0}, {2, false, true, 0}, {3, false, true, 1},
};

// ------------------------------------------------------------ CMPL_ERR --
int rt_init_cmpl_err() {
  Areas* a = areas();
  FmFdb fdb;
  INIT_CMPLERR_FDB(&fdb, a->kdb, a->sdb);
  int scope = com.base_scope;
  if (!FM_CREATE(&fdb, scope, 0, 0, 15, 15)) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "can't create CMPL_ERR file (%u)", uint32_t(fdb.status));
    return 0;
  }
  g_cmpl_err = fdb.handle.get();
  std::memset(static_cast<void*>(&cmpl_err_invoc), 0, sizeof cmpl_err_invoc);
  cmpl_err_invoc.app.set("0LA");
  cmpl_err_invoc.ver.set("00");
  cmpl_err_invoc.type = 2;
  cmpl_err_invoc.name.set("EM BUILD ERRORS");
  cmpl_err_invoc.kind = 2;
  cmpl_err_invoc.reserved2 = 255;
  cmpl_err_invoc.key_path = 255;
  return 1;
}

void pc_add_cmpl_err(PcCtx* ctx, int kind, const void* src, uint32_t msg, const char* name, size_t name_len) {
  static const uint16_t lens[10] = {0, 440, 976, 228, 188, 204, 64, 152, 144, 108};
  if (kind < 1 || kind > 9) {
    sys_err(__LINE__, "pc_add_cmpl_err() - unexpected case switch");
    return;
  }
  PcBuf<DCmplErr> r_buf;
  DCmplErr& r = *r_buf;
  r.seq = ++ctx->errors;
  r.kind = uint16_t(kind);
  r.star.set("*");
  r.msg = msg;
  r.app = ctx->em->app;
  r.ver = ctx->em->ver;
  r.proc_type = ctx->em->proc_type;
  r.proc_name = ctx->em->proc_name;
  r.name.clear();
  if (name) std::memcpy(r.name.data(), name, name_len < 22 ? name_len : 22);
  r.src_len = lens[kind];
  if (src) std::memcpy(r.src.b, src, lens[kind]);
  r.stmt_text.clear();
  if (kind == kPcErrStmt && src) {
    DStmt s;
    std::memcpy(&s, src, sizeof s);
    pc_last_dstmt_sno = s.seq;
    char work[212];
    std::memset(work, ' ', sizeof work);
    proc_svc.se_gen_stmt(work, &s, 0, 0);
    std::memcpy(r.stmt_text.data(), work, 79);
  } else {
    pc_last_dstmt_sno = 0;
  }
  if (!g_cmpl_err) {
    sys_err(__LINE__, "can't add CMPL_ERR");
    return;
  }
  PROTO_FULL(g_cmpl_err, 0, reinterpret_cast<uint8_t*>(&r));
  if (!fm_write(g_cmpl_err)) checkstat(g_cmpl_err->status, "can't add CMPL_ERR", kMod, __LINE__);
}

namespace {

std::string trim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

// Where an error is: a statement by its owner, event point and sequence,
// another source by its kind.
std::string pc_cmpl_err_where(const DCmplErr& r) {
  static const char* const kinds[10] = {"",     "process",        "frame",     "image",     "child",
                                        "item", "characteristic", "statement", "selection", "sort"};
  if (r.kind == kPcErrStmt) {
    DStmt s;
    std::memcpy(&s, r.src.b, sizeof s);
    std::string w;
    if (s.frame_class || s.frame_no)
      w += "frame " + std::to_string(s.frame_class) + " " + std::to_string(s.frame_no) + ", ";
    if (s.image_no) w += "image " + std::to_string(s.image_no) + ", ";
    if (s.child_disc || s.child_no)
      w += "child " + std::to_string(s.child_disc) + " " + std::to_string(s.child_no) + ", ";
    return w + "event point " + std::to_string(s.event_point) + ", sequence " + std::to_string(s.seq);
  }
  if (r.kind == kPcErrFrame || r.kind == kPcErrImage || r.kind == kPcErrChild) {
    DFrame f;   // the owner fields every one of them begins with
    std::memcpy(&f, r.src.b, sizeof f);
    std::string w = "frame " + std::to_string(f.frame_code) + " " + std::to_string(f.frame_no);
    if (r.kind == kPcErrImage) w += ", image " + std::to_string(rec::view<DImage>(r.src.b).image_no.get());
    if (r.kind == kPcErrChild) {
      const DChild& c = rec::view<DChild>(r.src.b);
      if (c.image_no) w += ", image " + std::to_string(c.image_no);
      w += ", child " + std::to_string(c.disc) + " " + std::to_string(c.child_no.get());
    }
    return w;
  }
  return r.kind < 10 ? kinds[r.kind] : "kind " + std::to_string(r.kind);
}

std::string pc_cmpl_err_message(const DCmplErr& r) {
  char num[16];
  std::snprintf(num, sizeof num, "%06u ", unsigned(r.msg));
  std::string m = num + trim(la_text(r.msg));
  std::string name = trim(r.name.str());
  if (!name.empty()) m += " (" + name + ")";
  return m;
}

std::string pc_cmpl_err_line(const DCmplErr& r) {
  std::string line = r.app.str() + " " + r.ver.str() + " " + std::to_string(r.proc_type) + " " +
                     trim(r.proc_name.str()) + ", " + pc_cmpl_err_where(r) + ": " + pc_cmpl_err_message(r);
  std::string st = trim(r.stmt_text.str());
  if (!st.empty()) line += " | " + st;
  return line;
}

// The records of a process, in sequence order.
template <class F>
void each_err(const char* app, const char* ver, uint8_t type, const char* name, F&& f) {
  if (!g_cmpl_err) return;
  PcBuf<DCmplErr> r_buf;
  DCmplErr& r = *r_buf;
  std::memcpy(r.app.data(), app, 3);
  std::memcpy(r.ver.data(), ver, 2);
  r.proc_type = type;
  std::memcpy(r.proc_name.data(), name, 30);
  PROTO_FULL(g_cmpl_err, 0, reinterpret_cast<uint8_t*>(&r));
  g_cmpl_err->key.set(reinterpret_cast<uint8_t*>(&r));
  g_cmpl_err->key_len = 36;
  g_cmpl_err->op = FM_OP_AT | FM_OP_KEY;
  if (!fm_start(g_cmpl_err)) return;
  g_cmpl_err->op = 0;
  DCmplErr key;
  std::memcpy(&key, &r, sizeof key);
  while (fm_rdnxt(g_cmpl_err)) {
    if (std::memcmp(&r, &key, 36) != 0) break;
    if (!f(r)) break;
  }
  g_cmpl_err->key.reset();
  g_cmpl_err->key_len = 0;
}
template <class F>
void each_err(const EmHeader* em, F&& f) {
  each_err(em->app.data(), em->ver.data(), em->proc_type, em->proc_name.data(), f);
}

std::string pc_cmpl_err_report(const PiInvoc& key) {
  // In the order of the sources: the process's own errors first, then the
  // statements' by owner, event point and sequence (an undefined label is
  // found at its event point's end, after the statements that follow).
  std::vector<std::pair<std::string, std::string>> lines;
  each_err(key.app.data(), key.ver.data(), key.type, key.name.data(), [&](const DCmplErr& r) {
    std::string order;
    if (r.kind == kPcErrStmt) {
      DStmt s;
      std::memcpy(&s, r.src.b, sizeof s);
      order.assign(reinterpret_cast<const char*>(&s), 48);
      uint32_t seq = s.seq;
      for (int i = 3; i >= 0; --i) order += char(seq >> (8 * i));
    }
    std::string text = pc_cmpl_err_where(r) + ": " + pc_cmpl_err_message(r) + "\n";
    std::string st = trim(r.stmt_text.str());
    if (!st.empty()) text += st + "\n";
    lines.emplace_back(std::move(order), std::move(text));
    return true;
  });
  std::stable_sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string out;
  for (const auto& l : lines) out += l.second;
  return out;
}

namespace {
struct StmtSource {
  char app[3];
  FmArb* h;
  std::vector<PcCheckedProc> procs;
};
std::vector<StmtSource> g_stmt_sources;
}  // namespace

void pc_set_stmt_source(const char* app, FmArb* stmts, const std::vector<PcCheckedProc>& procs) {
  std::erase_if(g_stmt_sources, [&](const StmtSource& s) { return std::memcmp(s.app, app, 3) == 0; });
  if (stmts) g_stmt_sources.push_back(StmtSource{{app[0], app[1], app[2]}, stmts, procs});
}

FmArb* pc_stmt_source(const char* app, uint8_t type, const char* name) {
  for (const StmtSource& s : g_stmt_sources)
    if (std::memcmp(s.app, app, 3) == 0)
      for (const PcCheckedProc& p : s.procs)
        if (p.type == type && std::memcmp(p.name.data(), name, 30) == 0) return s.h;
  return nullptr;
}

int pc_check(const PiInvoc& key, std::vector<DCmplErr>* errors, uint32_t* code,
             const std::function<void(EmHeader*)>& inspect) {
  *code = 0;
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  auto* pcb = static_cast<Pcb*>(MM_ALLOC(pool, sizeof(Pcb)));
  std::memset(static_cast<void*>(pcb), 0, sizeof *pcb);
  std::memcpy(&pcb->invoc, &key, sizeof key);
  pcb->lang.clear();
  auto* def = static_cast<DProc*>(MM_ALLOC(pool, sizeof(DProc)));
  std::memset(static_cast<void*>(def), ' ', sizeof *def);
  FmFdb ident;
  uint32_t status = 0;
  int ok = 0;
  if (!read_dproc(pcb->invoc, def, &ident, &status)) {
    *code = status ? status : kPlNoDefinition;
  } else if (build_em(def, pcb, 0)) {
    if (inspect) inspect(pcb->module.get());
    pl_release(pcb);   // a module no cache keeps goes with its last holder
    ok = 1;
  } else {
    each_err(key.app.data(), key.ver.data(), key.type, key.name.data(), [&](const DCmplErr& r) {
      errors->push_back(r);
      return true;
    });
    if (errors->empty()) *code = uint32_t(pcb->invoc.completion);
  }
  mm_destroy_pool(pool);
  return ok;
}

void (*pc_cmpl_err_show)(Pcb* parent) = nullptr;

void pc_show_cmpl_err(PcCtx* ctx, FILE* to) {
  // The errors take the place of the compile's notice on the screen.
  if (!to && com.screen_up) pl_close_notice();
  if (!to && com.screen_up && pc_cmpl_err_show) {
    pc_cmpl_err_show(ctx->pcb ? static_cast<Pcb*>(ctx->pcb->invoc.parent_pcb.get()) : nullptr);
    return;
  }
  each_err(ctx->em, [&](const DCmplErr& r) {
    std::string line = pc_cmpl_err_line(r);
    if (!to && com.screen_up) {
      ErrDisplay e;
      std::memset(static_cast<void*>(&e), ' ', sizeof e);
      e.msg_flag = 255;
      std::memcpy(e.msg_text.data(), line.data(), line.size() < 608 ? line.size() : 608);
      proc_svc.rt_err(ctx->pcb, &e);
    } else {
      std::fprintf(to ? to : stderr, "%s\n", line.c_str());
    }
    return true;
  });
}

// ------------------------------------------------------------- driver --
int pc_prep(PcCtx* ctx) {
  EmHeader* em = ctx->em;
  const DParam* p = pi_get_dparm_in_round(ctx->app, ctx->ver);
  if (p) std::memcpy(ctx->dict_lang, p->dict_lang.data(), 3);
  else std::memset(ctx->dict_lang, ' ', 3);
  em->lang = ctx->pcb->lang;
  std::memcpy(ctx->lang, ctx->pcb->lang.data(), 3);
  em->pcf_app = ctx->def.pcf_app;
  em->pcf_name = ctx->def.pcf_file;
  ctx->attach_level = com.depth;
  ctx->pool = mm_create_pool(nullptr, ctx->attach_level, 0);
  pc_find_reset();
  ctx->fields.clear();
  // The errors of this process's last compile go: each compile lists only
  // its own, and its sequence starts at 1 again.
  if (g_cmpl_err) {
    std::vector<uint32_t> rids;
    each_err(em, [&](const DCmplErr&) {
      rids.push_back(g_cmpl_err->rid);
      return true;
    });
    if (!rids.empty()) {
      PcBuf<DCmplErr> r_buf;
      DCmplErr& r = *r_buf;
      for (uint32_t rid : rids) {
        PROTO_FULL(g_cmpl_err, 0, reinterpret_cast<uint8_t*>(&r));
        g_cmpl_err->rid = rid;
        g_cmpl_err->op = FM_OP_RID | FM_OP_HOLD;
        if (fm_read(g_cmpl_err)) fm_del(g_cmpl_err);
        g_cmpl_err->op = 0;
      }
    }
  }
  // The work files: an earlier compile's, emptied, or new ones; in the base
  // scope either way, given back when the compile ends (pc_cmpl).
  ctx->lf = em_spare_work(false);
  if (!ctx->lf) ctx->lf = create_work(em_dlf_fdb, com.base_scope, "dlf file create failed");
  if (!ctx->lf) return 0;
  int t = em->proc_type;
  if (type_in(t, {1, 2, 3, 7, 8, 9, 10})) ctx->lookups = 0;
  if (type_in(t, {1, 2, 3, 7, 8, 9, 10}) && !(ctx->tdlu = em_spare_work(true))) {
    Areas* a = areas();
    FmFdb fdb;
    INIT_FDB(&fdb, FM_CLASS_MEMORY, 636, 0, a->kdb, 1);
    FmSdb* s = a->sdb;
    s->field = 0;
    s->offset = 4;
    s->length = 4;
    s->type = FM_SEG_BINARY;
    s->order = '+';
    INIT_KDB(a->kdb, 0, '+', 0, s, 1);
    INIT_UNIQUE_PATH(&fdb, "PC", "DL", FM_PT_DATA);
    if (!FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) {
      checkstat(fdb.status, "tdlu file create failed", kMod, __LINE__);
      return 0;
    }
    ctx->tdlu = fdb.handle.get();
  }
  if (type_in(t, {3, 9, 7, 4, 6})) std::memset(em->b1280.b, 0, 4);
  // TOC and TRAP belong to the module (base scope); failures are not
  // reported.
  if (!em->toc) em->toc.set(em_spare_toc(false));
  if (!em->toc) {
    FmFdb fdb;
    INIT_TOC_FDB(&fdb);
    if (FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) em->toc.set(fdb.handle.get());
  }
  em->toc_count = 0;
  if (!em->trap) {
    em->trap.set(em_spare_toc(true));
    em->trap_count = 0;
  }
  if (!em->trap) {
    FmFdb fdb;
    INIT_FDB(&fdb, FM_CLASS_MEMORY, 12, 0, nullptr, 0);
    INIT_UNIQUE_PATH(&fdb, "DB", "TR", FM_PT_DATA);
    if (FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) em->trap.set(fdb.handle.get());
    em->trap_count = 0;
  }
  return 1;
}

int pc_cmpl_finish(PcCtx* ctx) {
  EmHeader* em = ctx->em;
  uint32_t n = em->n_areas;
  auto* table = static_cast<EmAreaEntry*>(MM_ALLOC(em->pool, sizeof(EmAreaEntry) * (n + 1)));
  std::memset(static_cast<void*>(table), 0, sizeof(EmAreaEntry) * (n + 1));
  if (ctx->lf) {
    PcBuf<EmAreaEntry> e_buf;
    EmAreaEntry& e = *e_buf;
    PROTO_FULL(ctx->lf, 0, reinterpret_cast<uint8_t*>(&e));
    ctx->lf->op = FM_OP_FIRST;
    if (!fm_start(ctx->lf)) checkstat(ctx->lf->status, "bad DLF start", kMod, __LINE__);
    ctx->lf->op = 0;
    // Entries 1 .. n in LF key order; entry 0 stays zero (the runner walks
    // the table from 1, as it numbers IRAs).
    uint32_t i = 1;
    while (i <= n && fm_rdnxt(ctx->lf)) table[i++] = e;
    give_back(ctx->lf, false);
  }
  em->area_table.set(reinterpret_cast<uint8_t*>(table));
  give_back(ctx->tdlu, true);
  // The compile's source handles end with its scope: a CAP keeps none.
  if (FmArb* cap = em->cap.get()) {
    PcBuf<EmCap> r_buf;
    PROTO_FULL(cap, 0, r_buf.bytes());
    cap->op = FM_OP_FIRST;
    fm_start(cap);
    cap->op = 0;
    while (auto* r = reinterpret_cast<EmCap*>(fm_rdnxt_fast(cap, 0))) std::memset(r->src, 0, sizeof r->src);
  }
  return 1;
}

namespace {

// Step 4: the dictionary sources of the process.
void attach_sources(PcCtx* ctx) {
  int t = ctx->em->proc_type;
  if (!ctx->cap) return;
  if (type_in(t, {1, 2, 3, 4, 5, 7, 8, 9, 10})) pc_open_src(ctx, ctx->cap, kSrcFrame);
  if (type_in(t, {1, 2, 3, 7, 8, 9, 10})) {
    pc_open_src(ctx, ctx->cap, kSrcImage);
    pc_open_src(ctx, ctx->cap, kSrcChr);
    pc_open_src(ctx, ctx->cap, kSrcRow);
    pc_open_src(ctx, ctx->cap, kSrcItem);
  }
  if (t == 5) pc_open_src(ctx, ctx->cap, kSrcSort);
  pc_open_src(ctx, ctx->cap, kSrcChild);
  pc_open_src(ctx, ctx->cap, kSrcSelect);
  pc_open_src(ctx, ctx->cap, kSrcStmt);
}

// Step 6: the PCF.
void step_pcf(PcCtx* ctx) {
  EmHeader* em = ctx->em;
  const DProc& d = ctx->def;
  if (!type_in(em->proc_type, {2, 3, 4, 5, 7, 9, 10, 12})) return;
  if (ut_is_all(d.pcf_app.data(), ' ', 3)) return;
  char app[4] = {};
  std::memcpy(app, d.pcf_app.data(), 3);
  EmCap* cap = pc_ap(app, ctx);
  if (!cap) {
    pc_add_cmpl_err(ctx, kPcErrProc, &d, kPcNoApp, d.pcf_file.data(), 8);
    ctx->failed = true;
    return;
  }
  char name[9] = {};
  std::memcpy(name, d.pcf_file.data(), 8);
  EmCfi cfi;
  if (!pc_fi(cap, name, &cfi, ctx)) {
    pc_add_cmpl_err(ctx, kPcErrProc, &d, ctx->em->status, d.pcf_file.data(), 8);
    ctx->failed = true;
    return;
  }
  em->pcf_file = cfi.file_no;
  PcPcfCmpl& pr = pc_pcf_cmpl(em);
  // An error of the PCF's own compile does not fail the compile.
  if (!pc_pcf(cap, &cfi, ctx)) pc_add_cmpl_err(ctx, kPcErrProc, &d, ctx->em->status, d.pcf_file.data(), 8);
  pr.area = cfi.rec_area;
  pr.rec_ira = cfi.rec_ira;
  if (em->proc_type == 2 || em->proc_type == 9) pr.key_ira = pc_get_ira(ctx, app, cfi.rec_area, 2, 0);
  std::memset(static_cast<void*>(&pr.seq), 0, sizeof pr.seq);
  // A keyed PCF (organisation neither single nor plain): its key segments.
  if (cfi.fdb.org == 1 || cfi.fdb.org == 2) return;
  bld_seg_fi(ctx, em->pk.get(), cfi);
  if (!ut_is_all(d.pcf_key.data(), ' ', 22)) {
    char fld[23] = {};
    std::memcpy(fld, d.pcf_key.data(), 22);
    CElem ce;
    bool ok = pc_fld(app, fld, 1, &ce, ctx) && ce.e.key_kind != 255 && ce.e.area == cfi.rec_area;
    if (!ok) {
      pc_add_cmpl_err(ctx, kPcErrProc, &d, kPcBadPcfKey, d.pcf_key.data(), 22);
      ctx->failed = true;
    } else {
      em->pcf_key = ce.e.key_no;
    }
  }
  // The sequence-number field: a binary or packed key field of the PCF.
  if (!ut_is_all(d.seq_field.data(), ' ', 22)) {
    char fld[23] = {};
    std::memcpy(fld, d.seq_field.data(), 22);
    CElem ce;
    int t = 0;
    bool ok = pc_fld(app, fld, 1, &ce, ctx) && ce.e.area == cfi.rec_area;
    // A key of its own, or a segment of a key of several fields.
    int key_no = ok ? int(ce.e.key_no) : 255;
    if (ok && key_no == 255)
      if (FmArb* pk = em->pk.get()) {
        PcBuf<EmPk> p;
        PROTO_FULL(pk, 0, p.bytes());
        pk->op = FM_OP_FIRST;
        fm_start(pk);
        pk->op = 0;
        while (fm_rdnxt(pk))
          if (p->offset == ce.field_offset && p->length == ce.e.length) key_no = p->key_no;
      }
    ok = ok && key_no != 255;
    if (ok) {
      t = ce.e.type;
      ok = (t == 5 && (ce.e.length == 1 || ce.e.length == 2 || ce.e.length == 4)) || (t == 8 && ce.e.length <= 16) ||
           (t == 12 && ce.e.length == 9);
    }
    if (!ok) {
      pc_add_cmpl_err(ctx, kPcErrProc, &d, kPcBadPcfKey, d.seq_field.data(), 22);
      ctx->failed = true;
    } else {
      pr.seq.offset = ce.field_offset;
      pr.seq.type = uint8_t(t);
      pr.seq.size = uint8_t(ce.e.length);
      pr.seq.is_signed = ce.e.sign == '1' ? 1 : 0;
      pr.seq.digits = uint8_t(ce.e.digits + ce.e.decimals);
      pr.seq.key_no = uint8_t(key_no);
      pr.seq.increment = 1;
    }
  }
}

// Step 11: the process-level statements.
void step_stmts(PcCtx* ctx) {
  EmHeader* em = ctx->em;
  for (auto& e : em->proc_eps) e = 0xFFFFu;
  if (!ctx->cap || !ctx->cap->src[kSrcStmt] || !g_stmt_compiler) return;
  auto* a = static_cast<FmArb*>(arena::at(ctx->cap->src[kSrcStmt]));
  uint8_t prefix[36];
  std::memset(prefix, 0, sizeof prefix);
  prefix[0] = em->proc_type;
  std::memcpy(prefix + 1, em->proc_name.data(), 30);
  ctx->owner = 0;
  int ok = g_stmt_compiler(ctx, a, prefix, 36);
  if (ok < 0) return;  // no statement
  if (!ok) {
    ctx->failed = true;
    return;
  }
  for (int i = 0; i < kEmProcEps; ++i) {
    CodeRef c = ctx->sc.ep_start[i + 1];
    em->proc_eps[i] = uint32_t(c.block) | uint32_t(c.offset) << 16;
  }
}

void pc_bld(PcCtx* ctx) {
  // 1.
  pc_prep(ctx);
  // 2. The header was filled from the definition by build_em.
  EmHeader* em = ctx->em;
  em->mark = 0;
  // 3.
  ctx->cap = pc_ap(std::string(ctx->app, 3).c_str(), ctx);
  // 4.
  attach_sources(ctx);
  // 5. Predefined fields; their results are not tested.
  if (EmCap* la = pc_ap("0LA", ctx)) {
    EmCfi cfi;
    for (const char* f : {"PDF0", "PDF2", "PDF3", "PDF4", "PDF5", "PDF6", "PDF7"}) (void)pc_fi(la, f, &cfi, ctx);
    CElem ce;
    for (const char* f : {"DEFAULT MODE", "USER ID", "PROCESS CODE"}) (void)pc_fld("0LA", f, 0, &ce, ctx);
  }
  em->status = 0;
  // 6.
  step_pcf(ctx);
  // 7-9: frames, images (their characteristics and items), children.
  int t = em->proc_type;
  if (type_in(t, {1, 2, 3, 4, 5, 7, 8, 9, 10}) && !pc_frm(ctx)) ctx->failed = true;
  if (type_in(t, {1, 2, 3, 7, 8, 9, 10}) && !pc_img(ctx)) ctx->failed = true;
  if (!pc_chld(ctx)) ctx->failed = true;
  // 9b. The selection lines of children: their key constraints.
  if (!pc_slct(ctx)) ctx->failed = true;
  // 10. The query's own selection and sort lines.
  if (t == 5 && !pc_qry(ctx)) ctx->failed = true;
  // 11.
  step_stmts(ctx);
  if (ctx->errors > ctx->kept_errors) ctx->failed = true;
  // 12.
  if (ctx->failed) {
    if (ctx->show_errors) pc_show_cmpl_err(ctx);
    pc_cmpl_finish(ctx);
    ut_unwind(int(kPcFailed));
  }
  // 13. Empty sub-files go.
  PcBuf<uint8_t> buf(2100);
  for (Ref<FmArb> EmHeader::*slot : {&EmHeader::cfi, &EmHeader::cfld, &EmHeader::inst, &EmHeader::clib}) {
    FmArb* f = (em->*slot).get();
    if (!f) continue;
    if (fm_mem_records(f) == 0) {
      if (!em_drop_sub(em, slot)) checkstat(f->status, "bad close", kMod, __LINE__);
      continue;
    }
    PROTO_FULL(f, 0, buf.bytes());
    f->op = FM_OP_FIRST;
    fm_start(f);
    f->op = 0;
    f->rec_len = uint16_t(buf.size());
    int got = fm_rdnxt(f);
    f->rec_len = 0;
    if (!got && f->status == FM_ST_EOF && !em_drop_sub(em, slot)) checkstat(f->status, "bad close", kMod, __LINE__);
  }
  pc_cmpl_finish(ctx);
  em->mark = kEmMark;
}

}  // namespace

int pc_cmpl(PcCtx* ctx) {
  ++g_compiles;
  int r = MARK(5, [](void* p) { pc_bld(static_cast<PcCtx*>(p)); }, ctx, [](int) {});
  // A compile that unwound before its end still has its work files.
  give_back(ctx->lf, false);
  give_back(ctx->tdlu, true);
  return r == 1;
}

int pc_em_compiler(EmCmplCtx* c) {
  auto* ctx = new PcCtx();
  ctx->def = *c->def;
  ctx->em = c->em;
  ctx->pcb = c->pcb;
  std::memcpy(ctx->app, c->em->app.data(), 3);
  std::memcpy(ctx->ver, c->em->ver.data(), 2);
  ctx->show_errors = c->compile_flag != 0;
  int ok = pc_cmpl(ctx);
  if (!ok) c->code = int(kPcFailed);
  delete ctx;
  return ok;
}

void pc_register() {
  os_set_init(OsInit::Pc, pc_init);
  // The runtime's start replaces this where it registers (rt_register).
  os_set_init(OsInit::Rt, rt_init_cmpl_err);
  em_set_compiler(pc_em_compiler);
}
