// Services from above and the debugger control word: see services.h.
#include "process/services.h"

#include <cstdio>

#include "files/dictrec.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pcb.h"
#include "process/em.h"

namespace {
constexpr const char* kMod = "DBG.C";

void no_proc_exec(void* arg) {
  if (arg) static_cast<PiEpArg*>(arg)->result = 0;
}
bool dbg_inactive(Pcb*, int) { return false; }
void dbg_no_cleanup(Pcb*) {}
bool dbg_no_watch(Pcb*) { return false; }
bool dbg_no_stmt(IlfExecBlock*, void*, int* option) {
  if (option) *option = 0;
  return false;
}
int no_gen_stmt(void*, const DStmt*, int, int) { return 0; }
int no_cnv_token(void*, const DStmt*, int) { return 0; }
int no_cache_rloc(EmHeader*, void* operand, int) {
  rec::view<rec::U32>(operand) = 0;
  return 0;
}
}  // namespace

void rt_err_stderr(void*, const void* err_rec) {
  if (!err_rec) return;
  const auto& r = rec::view<ErrDisplay>(const_cast<void*>(err_rec));
  std::string_view text = r.msg_flag == 255 ? r.msg_text.trimmed() : std::string_view("runtime error");
  std::fprintf(stderr, "%.*s\n", int(text.size()), text.data());
}

ProcServices proc_svc = {no_proc_exec, rt_err_stderr, dbg_inactive, dbg_no_cleanup,
                         dbg_no_watch,  dbg_no_stmt,   no_gen_stmt,  no_cnv_token,
                         no_cache_rloc};

void proc_services_reset() {
  proc_svc = ProcServices{no_proc_exec, rt_err_stderr, dbg_inactive, dbg_no_cleanup,
                          dbg_no_watch,  dbg_no_stmt,   no_gen_stmt,  no_cnv_token,
                          no_cache_rloc};
}

void dbg_ctl(int op) {
  uint32_t w = com.dbg_ctl_bits;
  uint16_t sp = com.dbg_sp;
  switch (op) {
    case 1:  // push: past the stack only counted
      if (sp < kDbgStackSize) com.dbg_stack[sp] = w;
      if (sp < 0xFFFF) com.dbg_sp = uint16_t(sp + 1);
      break;
    case 2:  // pop: an empty stack or a counted push restores nothing
      if (sp == 0) break;
      com.dbg_sp = uint16_t(sp - 1);
      if (sp <= kDbgStackSize) w = com.dbg_stack[sp - 1];
      break;
    case 3: w &= ~kDbgStepBits; break;
    case 5: w |= kDbgStep | kDbgStepProc; break;
    case 6: w &= ~kDbgStep; break;
    case 7: w |= kDbgRunToEnd; break;
    case 8: w &= ~kDbgRunToEnd; break;
    case 9: w |= kDbgStepOut; break;
    case 10: w &= ~kDbgStepOut; break;
    case 11: w |= kDbgNextStmt; break;
    case 12: w &= ~(kDbgNextStmt | kDbgBit18); break;
    case 13: w |= kDbgBit18; break;
    case 14: w |= kDbgBit24; break;
    case 15: w &= ~kDbgBit24; break;
    default:
      std::snprintf(ut_dbg, sizeof ut_dbg, "Bad op parameter in dbg_ctl()");
      os_sys_err(kMod, __LINE__);
      return;
  }
  com.dbg_ctl_bits = w;
}

PcbStatus* pcb_status(Pcb* pcb) {
  if (!pcb || !pcb->area_addr) return nullptr;
  EmHeader* em = pcb->module.get();
  if (em && em->n_areas < uint32_t(kPcbStatusArea)) return nullptr;
  return reinterpret_cast<PcbStatus*>(pcb->area_addr.get()[kPcbStatusArea].get());
}
