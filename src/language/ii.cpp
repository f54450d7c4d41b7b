// The instruction interpreter: see ii.h.
#include "language/ii.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "process/em.h"
#include "process/pcb.h"
#include "process/pl.h"
#include "process/services.h"
#include "screen/wm.h"

uint8_t* ii_arena = nullptr;
IiFn ii_inst_fns[kIiSlots];
static_assert(kIiSlots > UINT16_MAX, "every opcode has its slot");

namespace {
constexpr const char* kMod = "II.C";
constexpr uint32_t kErrRuntime = 300540;
constexpr int kYieldEvery = kIiYieldEvery;
constexpr uint16_t kOpStepBreak = 453;

FILE* g_trace = nullptr;
void (*g_family[int(IiFamily::Count)])() = {};
void (*g_undef_all)(Pcb*) = nullptr;

struct Ifn {
  std::string name;
  IiIntFn fn;
};
std::vector<Ifn>& ifns() {
  static std::vector<Ifn> v;
  return v;
}
FmArb* g_ifns_file = nullptr;
FmArb* g_err_file = nullptr;

void sys_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
}

MmPool ii_pool() { return mm_create_pool(" IIPOOL    ", com.base_scope, 0); }

inline uint16_t op_at(const uint8_t* pc) { return uint16_t(pc[0] | (pc[1] << 8)); }

// ------------------------------------------------- the slow path --
bool slow_mode() { return g_trace || com.dbg_ctl_bits != 0; }

// The counter of the loop: s->tick counts down once per instruction
// started (by the loop or by ii_next); s->armed is what it was set to,
// s->count the instructions started between the last yield and that
// setting.
uint32_t started(const IlfState* s) { return s->count + uint32_t(s->armed - s->tick); }
// Sets the counter: the next slow path at once in slow mode, else at the
// instruction that finds more than 1000 completed since the yield.
void arm(IlfState* s) {
  int32_t n = slow_mode() ? 1 : int32_t(kYieldEvery + 2) - int32_t(s->count);
  s->armed = n < 1 ? 1 : n;
  s->tick = s->armed;
}

void trace_inst(IlfState* s) {
  const uint8_t* pc = s->pc;
  auto off = [](const void* p) { return p && arena::contains(p) ? arena::offset_of(p) : 0u; };
  std::fprintf(g_trace, "%08X %5s -%-24s - %08X %08X %08X %08X\r\n", off(pc), tf_msk_to_str(s->mask),
               ib_op(op_at(pc)).name, off(s->addr[0]), off(s->addr[1]), off(s->addr[2]),
               off(s->addr[3]));
  std::fflush(g_trace);
}

bool is_trap(uint16_t op) { return op == 450 || op == 451; }
bool is_leave(uint16_t op) {
  switch (op) {
    case 10: case 11: case 16: case 17: case 22: case 23: case 36: case 37:
    case 40: case 41: case 42: case 43: case 44: case 45: return true;
    default: return false;
  }
}

// Whether the debugger stops before the current instruction. Stepping
// every statement is any of bits 0 (the debugger's step), 17 (stop at the
// next statement) and 18; bit 16, which operation 5 sets with bit 0, outlives
// the event point's clearing of bits 0-7 but steps nothing by itself.
bool dbg_stop(IlfExecBlock* b, IlfState* s) {
  auto& in = rec::view<IbInst>(s->pc);
  uint8_t f = in.flags;
  uint16_t op = in.op;
  if (f & kIbOneShot) {
    in.flags = uint8_t(f & ~kIbOneShot);
    dbg_ctl(11);
  }
  if (proc_svc.dbg_chk_watches(b->pcb)) return true;
  if (!(f & kIbStmt)) return false;
  uint32_t w = com.dbg_ctl_bits;
  if (w & (kDbgStep | kDbgNextStmt | kDbgBit18)) return !is_trap(op) || (f & kIbBreak);
  if ((f & kIbBreak) && !is_trap(op)) return true;
  if ((w & kDbgRunToEnd) && ((f & kIbExtraStop) || is_leave(op))) {
    dbg_ctl(8);
    return true;
  }
  if ((w & kDbgStepOut) && (op == 30 || op == 31)) {
    dbg_ctl(10);
    return true;
  }
  return false;
}

// The interrupt bit, before the current instruction: once the debugger has
// started for the process it stops before the next statement; until then
// the running process ends as CANCEL ends it (4), and after SIGTERM or
// SIGHUP every process ends (ssunix.h). Every instruction before this one
// has completed, and what this frame holds goes with the unwind.
static_assert(kDbgBit18 == kSsInterruptBit, "the interrupt bit of the control word");
void interrupted(IlfExecBlock* b, IlfState* s) {
  bool end = ss_stop_signal() || ss_end_status();
  if (!end && !ss_interrupted()) {
    // A word saved before the interrupt was taken, restored at the end of a
    // process that it ended: nothing is pending.
    com.dbg_ctl_bits = com.dbg_ctl_bits & ~kDbgBit18;
    return;
  }
  Pcb* pcb = b->pcb;
  if (!end && pcb && pcb->dbg) return;
  com.dbg_ctl_bits = com.dbg_ctl_bits & ~kDbgBit18;
  ii_end_ep(b, s);
  ss_stop_unwind();
}

// Before the current instruction (s->pc, already started), once the
// counter ran out: sets it again.
__attribute__((noinline, cold)) void slow_path(IlfExecBlock* b, IlfState* s) {
  s->count = started(s);
  if (s->count - 1 > uint32_t(kYieldEvery)) {
    ss_yield();
    s->count = 1;
  }
  if (g_trace) trace_inst(s);
  if (com.dbg_ctl_bits != 0) {
    if (com.dbg_ctl_bits & kDbgBit18) interrupted(b, s);
    if (dbg_stop(b, s)) {
      uint8_t* at = ii_inst_fns[kOpStepBreak](b, s, s->pc);
      if (at) s->pc = at;
    }
  }
  arm(s);  // after the debugger, which may have changed the word
}

// After a handler returned null: false when the event point ends, else the
// counter is set again (the debugger's word may have changed) and the loop
// goes on at s->pc.
__attribute__((noinline, cold)) bool resume(IlfState* s) {
  if (s->stop & 1) return false;
  s->count = started(s);
  arm(s);
  return true;
}

// The loop (ii.h): the instruction pointer, the block and the state stay in
// registers across the call; the counter lives in the state, where the
// handlers that chain to the next one (ii_next) count too.
__attribute__((noinline, hot)) void run(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  arm(s);
  // One step: the counter, the call, the look at a null result. The loop
  // holds eight: more call sites predict the handler to come far better.
#define QV_II_STEP                                                \
  if (--s->tick <= 0) [[unlikely]] {                              \
    if (s->stop & 1) return; /* a stop flag set by hand */        \
    s->pc = pc;                                                   \
    slow_path(b, s);                                              \
    pc = s->pc;                                                   \
  }                                                               \
  s->pc = pc;                                                     \
  pc = ii_inst_fns[ii_op(pc)](b, s, pc);                          \
  if (!pc) [[unlikely]] {                                         \
    if (!resume(s)) return;                                       \
    pc = s->pc; /* ii_again: the debugger's word looked at again */ \
  }
  for (;;) {
    QV_II_STEP QV_II_STEP QV_II_STEP QV_II_STEP
    QV_II_STEP QV_II_STEP QV_II_STEP QV_II_STEP
  }
#undef QV_II_STEP
}

// ---------------------------------------------- the frame of ii_exec --
void release_reads(IlfState* s) {
  while (void* e = s->reads.first.get()) {
    auto* r = static_cast<IiReadEntry*>(e);
    ut_remove_from_lst(&s->reads, r, &r->link);
    if (rec::U32* back = r->back.get()) *back = 0;
    mm_free(r);
  }
}

void release_gosubs(IlfState* s) {
  while (void* e = s->gosub.first.get()) {
    auto* g = static_cast<IiGosub*>(e);
    ut_remove_from_lst(&s->gosub, g, &g->link);
    mm_free(g);
  }
  s->gosubs = 0;
  while (IiGosub* g = s->spare) {
    s->spare = static_cast<IiGosub*>(g->link.next.get());
    mm_free(g);
  }
}

// What ii_exec holds, given back on return and on unwind alike.
struct ExecFrame {
  IlfExecBlock* b;
  IlfState* s;
  int trace_level = 0;
  bool traced = false;
  ~ExecFrame() {
    release_reads(s);
    release_gosubs(s);
    if (traced) TRACE_QUVO(2310, trace_level + 1, 602500, b->pcb, nullptr);
  }
};

// -------------------------------------------------- built-in handlers --
// END (10/11), END of statement (22/23): the event point returns normally.
uint8_t* inst_end(IlfExecBlock* b, IlfState* s, uint8_t*) {
  b->result_mask = s->mask;
  ii_end_ep(b, s);
  return ii_stop(s);
}

// TRAP (450/451): stops in the debugger when traps are switched on.
void trap_stop(IlfExecBlock* b, IlfState* s) {
  Pcb* pcb = b->pcb;
  if (proc_svc.dbg_init(pcb, 0)) {
    dbg_ctl(5);
    dbg_ctl(12);
    int option = 0;
    if (proc_svc.dbg_stmt(b, s, &option) && option == 278) {
      if (PcbStatus* st = pcb_status(pcb)) st->option = 278;
      ii_end_ep(b, s);
      ut_unwind(4);
    }
  } else {
    dbg_ctl(6);
    proc_svc.dbg_cleanup(pcb);
  }
}
uint8_t* inst_trap(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (com.traps_off || (rec::view<IbInst>(pc).flags & kIbBreak)) return ii_adv(pc, 4);
  trap_stop(b, s);
  if (s->pc == pc) s->pc = ii_adv(pc, 4);  // unless the debugger moved on itself
  return ii_again(s);
}
// STEP and BREAK (452-455): the loop's debugger stop; the instruction the
// debugger leaves in s->pc runs next.
uint8_t* inst_step_break(IlfExecBlock* b, IlfState* s, uint8_t*) {
  trap_stop(b, s);
  return s->pc;
}

// BNB (464/465): on to the next block.
uint8_t* inst_bnb(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return ii_next(b, s, ii_at(pc + 4)); }

// NOP and GHOST (466-469).
uint8_t* inst_ghost_nop(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return ii_next(b, s, ii_adv(pc, 4)); }

void builtin_misc() {
  ii_set_pair(450, inst_trap);
  ii_set_op(452, inst_step_break);
  ii_set_op(453, inst_step_break);
  ii_set_op(454, inst_step_break);
  ii_set_op(455, inst_step_break);
  ii_set_pair(464, inst_bnb);
  ii_set_pair(466, inst_ghost_nop);
  ii_set_pair(468, inst_ghost_nop);
}
void builtin_ctl() {
  ii_set_pair(10, inst_end);
  ii_set_pair(22, inst_end);
}

int32_t quvo_get_addr(const uint32_t* args) { return args && args[0] >= 1 ? int32_t(args[1]) : 0; }
int32_t quvo_atol(const uint32_t* args) {
  if (!args || args[0] < 1) return 0;
  const char* text = static_cast<const char*>(arena::at(args[1]));
  return text ? int32_t(std::atol(text)) : 0;
}

int write_ifns(const char* name, uint32_t index) {
  if (!g_ifns_file) return 1;
  MmPool pool = ii_pool();
  auto* r = static_cast<IbIfns*>(MM_ALLOC(pool, sizeof(IbIfns)));
  std::memset(r, 0, sizeof *r);
  r->name.set(name);
  r->fn = index;
  g_ifns_file->op = 0;
  g_ifns_file->rec.set(reinterpret_cast<uint8_t*>(r));
  g_ifns_file->rec_len = 0;
  int ok = fm_write(g_ifns_file);
  g_ifns_file->rec.reset();
  mm_free(r);
  return ok;
}

void table_defaults() {
  for (auto& f : ii_inst_fns) f = inst_fns_err;
}
struct TableInit {
  TableInit() { table_defaults(); }
} g_table_init;

}  // namespace

// ---------------------------------------------------------- table --
void ii_set_op(uint16_t op, IiFn fn) {
  if (op < kIbOps) ii_inst_fns[op] = fn ? fn : inst_fns_err;
}

void ii_set_pair(uint16_t even_op, IiFn fn) {
  even_op = uint16_t(even_op & ~1u);
  if (even_op + 1 >= kIbOps) return;
  bool rloc = ib_op(even_op).nopnd > 0 || ib_hook(even_op);
  ii_set_op(even_op, rloc ? ii_rloc : fn);
  ii_set_op(uint16_t(even_op + 1), fn);
}

namespace {
// The link finders: few kinds, looked through in order.
struct LinkFind {
  uint16_t op;
  IiLinkFind find;
};
LinkFind g_link_find[4];
uint32_t g_link_finds = 0;

LinkFind* link_find_of(uint16_t op) {
  for (uint32_t i = 0; i < g_link_finds; ++i)
    if (g_link_find[i].op == op) return &g_link_find[i];
  return nullptr;
}
}  // namespace

void ii_set_link_find(uint16_t op, IiLinkFind find) {
  if (LinkFind* f = link_find_of(op)) f->find = find;
  else if (g_link_finds < std::size(g_link_find)) g_link_find[g_link_finds++] = {op, find};
}

uint8_t* ii_link_miss(IlfExecBlock* b, IlfState* s, uint8_t* pc, IiLink& l) {
  const uint32_t at = uint32_t(pc - ii_arena);
  if (l.to != &kIiUnlinked) l = IiLink{};  // what it went to runs elsewhere now: look again
  const uint16_t op = op_at(pc);
  if (LinkFind* f = link_find_of(op)) f->find(pc, l);
  if (l.to->at == at) return l.to->run(b, s, pc, *l.to);
  --l.tries;
  return ii_inst_fns[op](b, s, pc);
}

uint8_t* inst_fns_err(IlfExecBlock* b, IlfState* s, uint8_t*) {
  sys_err(__LINE__, "Missing II function ");
  ii_end_ep(b, s);
  return ii_stop(s);
}

uint8_t* ii_rloc(IlfExecBlock* b, IlfState* s, uint8_t* p) {
  uint16_t op = op_at(p);
  EmHeader* em = s->module;
  if (!ib_rloc_operands(em, p)) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "ii_rloc() - bad operand of %s", ib_op(op).name);
    os_sys_err(kMod, __LINE__);
    ii_end_ep(b, s);
    return ii_stop(s);
  }
  if (IbHook h = ib_hook(op)) h(em, p);
  if (em) em->code_relocated = 1;
  rec::view<IbInst>(p).op = uint16_t(op + 1);
  return ii_inst_fns[op + 1](b, s, p);
}

// ---------------------------------------------------------- start-up --
void ii_set_family_init(IiFamily family, void (*init)()) {
  if (family < IiFamily::Count) g_family[int(family)] = init;
}

void ii_set_undef_hook(void (*undef_all)(Pcb*)) { g_undef_all = undef_all; }

void ii_set_trace(FILE* f) { g_trace = f; }

bool ii_slow_mode() { return slow_mode(); }

int ii_register_ifn(const char* name, IiIntFn fn) {
  ifns().push_back({name, fn});
  int index = int(ifns().size() - 1);
  write_ifns(name, uint32_t(index));
  return index;
}

IiIntFn ii_ifn(uint32_t index) { return index < ifns().size() ? ifns()[index].fn : nullptr; }

IiIntFn ii_find_ifn(const char* name) {
  auto trim = [](std::string t) {
    if (t.size() > 22) t.resize(22);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
  };
  std::string key = trim(name);
  for (const Ifn& f : ifns())
    if (trim(f.name) == key) return f.fn;
  return nullptr;
}

int ii_init() {
  ii_arena = arena::base();
  if (FILE* t = os_open_log("QUVO_INST_TRACE")) g_trace = t;
  MmPool pool = ii_pool();
  // The internal functions.
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  FmFdb fdb;
  INIT_IFNS_FDB(&fdb, kdb, sdb);
  int ok = FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15);
  mm_free(kdb);
  mm_free(sdb);
  if (!ok) {
    sys_err(__LINE__, "Bad int function file create ");
    return 0;
  }
  g_ifns_file = fdb.handle.get();
  bool have_calls = false;
  for (size_t i = 0; i < ifns().size(); ++i) {
    write_ifns(ifns()[i].name.c_str(), uint32_t(i));
    have_calls |= ifns()[i].name == "get_addr";
  }
  if (!have_calls) {
    ii_register_ifn("get_addr", quvo_get_addr);
    ii_register_ifn("atol", quvo_atol);
  }
  // The error display's file.
  FmFdb err;
  INIT_ERR_FDB(&err);
  if (!FM_CREATE(&err, com.base_scope, 0, 0, 15, 15)) {
    sys_err(__LINE__, "can't create ERROR DISPLAY file");
    return 0;
  }
  g_err_file = err.handle.get();
  // The handler table, family by family.
  table_defaults();
  for (int f = 0; f < int(IiFamily::Count); ++f) {
    if (f == int(IiFamily::Misc)) builtin_misc();
    if (f == int(IiFamily::Ctl)) builtin_ctl();
    if (g_family[f]) g_family[f]();
  }
  com.traps_off = std::getenv("QUVO_DB_TRAPS") ? 0 : 1;
  // No module runs before its code has passed the verifier.
  em_set_verifier(ib_verify);
  return 1;
}

void ii_register() {
  os_set_init(OsInit::Ii, ii_init);
  proc_svc.ii_proc_exec = ii_proc_exec;
}

// ---------------------------------------------------------- running --
int II_EXEC_ANY(Pcb* pcb, int ep, IlfExecBlock* b) {
  b->errors = 0;
  b->warnings = 0;
  // The items a frame defined at run time go at its end, whether or not
  // End of Frame has code.
  if (ep == 25 && g_undef_all && pcb && (b->entry & 0xFFFF) == kNoCode) g_undef_all(pcb);
  if ((b->entry & 0xFFFF) == kNoCode) return 0;
  b->pcb = pcb;
  b->msg1 = pcb ? pcb->msg_file.get() : nullptr;
  b->msg2 = pcb ? pcb->prev_msg[0].get() : nullptr;
  b->ep = int16_t(ep);
  b->last = 0;
  ii_exec(b);
  return 1;
}

int II_EXEC_PROC(Pcb* pcb, int ep, IlfExecBlock* b) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  b->entry = em && ep >= 1 && ep <= kEmProcEps ? em->proc_eps[ep - 1].get() : kNoCode;
  return II_EXEC_ANY(pcb, ep, b);
}

namespace {
uint32_t entry_at(const uint8_t* rec, int at, int ep, int first, int count) {
  if (!rec || ep < first || ep >= first + count) return kNoCode;
  return rec::view<rec::U32>(const_cast<uint8_t*>(rec) + at + 4 * (ep - first)).get();
}
}  // namespace

int II_EXEC_FRM(Pcb* pcb, const uint8_t* cfrm, int ep, IlfExecBlock* b) {
  b->entry = entry_at(cfrm, 108, ep, 21, 5);
  return II_EXEC_ANY(pcb, ep, b);
}
int II_EXEC_IMG(Pcb* pcb, const uint8_t* cimg, int ep, IlfExecBlock* b) {
  b->entry = entry_at(cimg, 160, ep, 41, 4);
  return II_EXEC_ANY(pcb, ep, b);
}
int II_EXEC_CHLD(Pcb* pcb, const uint8_t* cchld, int ep, IlfExecBlock* b) {
  b->entry = entry_at(cchld, 168, ep, 61, 2);
  return II_EXEC_ANY(pcb, ep, b);
}
int II_EXEC_MISC(Pcb* pcb, int ep, IlfExecBlock* b, uint32_t entry) {
  b->entry = entry;
  return II_EXEC_ANY(pcb, ep, b);
}

void ii_proc_exec(void* arg) {
  auto* a = static_cast<PiEpArg*>(arg);
  IlfExecBlock b;
  if (a->cchld)
    a->result = II_EXEC_CHLD(a->pcb, static_cast<const uint8_t*>(a->cchld), a->event_point, &b);
  else
    a->result = II_EXEC_PROC(a->pcb, a->event_point, &b);
  a->errors = int(b.errors);
}

void ii_exec(IlfExecBlock* b) {
  if (!ii_arena) ii_arena = arena::base();
  Pcb* pcb = b->pcb;
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  dbg_ctl(3);
  IlfState s;
  s.module = em;
  ExecFrame frame{b, &s};
  if (b->ep <= 62) {
    frame.trace_level = TRACE_QUVO(3078, 0, 600300, pcb, nullptr);
    frame.traced = true;
  }
  if (g_trace && pcb)
    std::fprintf(g_trace, "(%02d) %3.3s %30.30s - %d\r\n", int(pcb->invoc.type),
                 pcb->invoc.app.data(), pcb->invoc.name.data(), int(b->ep));
  // The entry: a code reference of the module's INST file.
  rec::U32 entry;
  entry = b->entry;
  if (!em || !em->inst || !INST_RLOC(&entry, em->inst.get()) || entry.get() == 0) {
    sys_err(__LINE__, "ii_exec() - bad entry address");
    return;
  }
  uint8_t* pc = ii_arena + entry.get();
  s.pc = pc;
  b->result_mask = 0x3FF;
  if (b->ep == 25 && g_undef_all) g_undef_all(pcb);
  em->cur_ep = uint8_t(b->ep);
  if (com.dbg_ctl_bits != 0) proc_svc.dbg_init(pcb, 0);
  ss_yield();
  s.count = 0;
  run(b, &s, pc);
}

void ii_end_ep(IlfExecBlock* b, IlfState* s) {
  if (b && b->pcb) {
    if (PcbDbg* d = b->pcb->dbg.get()) {
      d->stmt_block = -1;
      d->stmt_offset = -1;
    }
  }
  if (s) release_reads(s);
}

int err_handler(IlfState* s, IlfExecBlock* b, uint32_t msg) {
  if (msg == kErrRuntime && s->err_trap) {
    s->pc = s->err_trap;
    return 0;
  }
  Pcb* pcb = b->pcb;
  int option = 0;
  if (proc_svc.dbg_init(pcb, 1)) {
    PcbDbg* d = pcb ? pcb->dbg.get() : nullptr;
    if (d) {
      d->err_pending = 1;
      d->err_msg = msg;
    }
    while (proc_svc.dbg_stmt(b, s, &option) && option == 100) {
    }
    if (d && d->err_pending == 0) return 0;
    if (d) d->err_pending = 0;
  }
  ii_end_ep(b, s);
  os_note_run_error(msg);
  if (option == 278) {
    if (PcbStatus* st = pcb_status(pcb)) st->option = 278;
    ut_unwind(4);
  }
  ut_unwind(int(kErrRuntime));
}

// ----------------------------------------------------- shared services --
void add_wrn_err(Pcb* pcb, const char* text, size_t len, int kind) {
  if (!pcb) return;
  if (WmShow* show = pcb->show.get()) show->flags = uint8_t(show->flags | wmshow::kAlert);
  PcbStatus* st = pcb_status(pcb);
  std::string line;
  if (kind == 1) {
    if (st) st->warnings = st->warnings + 1;
    line.assign(com.warning_label.data(), std::min<size_t>(com.warning_len, 10));
  } else {
    if (st) st->errors = st->errors + 1;
    line.assign(com.error_label.data(), std::min<size_t>(com.error_len, 10));
  }
  line += " - ";
  line.append(text, len);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  FmArb* f = pcb->msg_file.get();
  // At most 80 characters, and no more than the message file's records hold.
  size_t limit = 80;
  if (f && f->file && f->file->fdb.rec_len > sizeof(LaQueueRec))
    limit = std::min<size_t>(limit, f->file->fdb.rec_len - sizeof(LaQueueRec));
  if (line.size() > limit) line.resize(limit);
  MmPool pool = ii_pool();
  auto* r = static_cast<uint8_t*>(MM_ALLOC(pool, sizeof(LaQueueRec) + line.size()));
  auto& h = rec::view<LaQueueRec>(r);
  h.key = 0;
  h.severity = uint16_t(kind);
  h.length = uint16_t(line.size());
  std::memcpy(r + sizeof(LaQueueRec), line.data(), line.size());
  int ok = 0;
  if (f) {
    f->op = 0;
    f->rec.set(r);
    f->rec_len = uint16_t(sizeof(LaQueueRec) + line.size());
    ok = fm_write(f);
    f->rec.reset();
  }
  mm_free(r);
  if (!ok) sys_err(__LINE__, "add_wrn_err() - message write failed");
}

void tmp_scr(IlfExecBlock* b, const char* text, size_t len) {
  MmPool pool = ii_pool();
  auto* r = static_cast<ErrDisplay*>(MM_ALLOC(pool, sizeof(ErrDisplay)));
  std::memset(r, ' ', sizeof *r);
  r->msg_flag = 255;
  r->msg_text.set(std::string_view(text, len));
  proc_svc.rt_err(b ? static_cast<void*>(b->pcb) : nullptr, r);
  mm_free(r);
}

const char* tf_msk_to_str(uint32_t mask) {
  static char text[6];
  static const char kCh[4] = {'-', 'T', 'F', ' '};
  for (int level = 1; level <= 5; ++level) text[level - 1] = kCh[(mask >> (2 * (5 - level))) & 3];
  text[5] = 0;
  return text;
}

bool mini_scr(IlfExecBlock*, uint32_t msg, const FmFdb* file) {
  uint32_t s1 = 0, s2 = 0;
  if (!wm_create_srf(&s1, com.depth) || !wm_create_srf(&s2, com.depth)) {
    sys_err(__LINE__, "mini_scr() - unable to create surface");
    return true;
  }
  char buf[256];
  LaText t{uint16_t(sizeof buf), buf};
  int sev = 0;
  size_t len = size_t(la_xlate(msg, &t, &sev));
  len = ut_buflen(buf, len);
  int cols = com.cols, rows = com.rows;
  int width = std::max<int>(int(len) + 6, 15);
  if (width > cols - 2) width = std::max(cols - 2, 1);
  size_t shown = std::min<size_t>(len, size_t(std::max(width - 2, 0)));
  int row = std::max((rows - 2) / 2 - 3, 1);
  int col = std::max((cols - width) / 2, 1);
  WmWnd w;
  INIT_WND(&w, 1, row, col, 5, width, 0);
  WmHandle win = wm_attach(&w, s2, com.depth);
  bool cancel = true;
  if (!win) {
    sys_err(__LINE__, "mini_scr() - unable to attach window");
  } else {
    std::string text(size_t(5 * width), ' ');
    size_t c1 = (size_t(width) - shown) / 2;
    std::memcpy(&text[size_t(width) * 1 + c1], buf, shown);
    char ident[16];
    std::snprintf(ident, sizeof ident, "%.3s %.2s %.8s", file ? file->app.data() : "   ",
                  file ? file->ver.data() : "  ", file ? file->name.data() : "        ");
    size_t ilen = std::min<size_t>(15, size_t(width));
    std::memcpy(&text[size_t(width) * 3 + (size_t(width) - ilen) / 2], ident, ilen);
    if (!wm_write_reg(w.region, text)) sys_err(__LINE__, "mini_scr() - unable to write region");
    WmShow sb;
    std::memset(&sb, 0, sizeof sb);
    for (;;) {
      sb.flags = uint8_t(wmshow::kDraw | wmshow::kWait);
      if (!wm_show(&sb, 0)) break;  // no screen: taken as CANCEL
      if (sb.option == 278 || sb.option == 304) {
        cancel = sb.option == 278;
        break;
      }
    }
    if (!wm_detach(win, 1)) sys_err(__LINE__, "mini_scr() - unable to detach window");
  }
  if (!wm_destroy_srf(s2) || !wm_destroy_srf(s1)) sys_err(__LINE__, "mini_scr() - unable to destroy surface");
  return cancel;
}

FmArb* ii_open_delem_fi(const char* app, const char* ver) {
  // The key areas live only for the open: the file manager copies them.
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  FmFdb fdb;
  INIT_DELEM_FDB(&fdb, kdb, sdb, app, ver);
  int ok = FM_OPEN(&fdb, com.depth, FM_OPT_NO_SYSDIR, 1, 15);
  mm_destroy_pool(pool);
  return ok ? fdb.handle.get() : nullptr;
}
