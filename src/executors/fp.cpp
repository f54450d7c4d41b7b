// The frame processor: fp_exec, the hook table, engine start.
#include "executors/fp.h"

#include "executors/fpchld.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {
FpHooks g_hooks[11];
const FpHooks kNone{};
}  // namespace

void fp_set_hooks(int proc_type, const FpHooks& hooks) {
  if (proc_type >= 1 && proc_type <= 10) g_hooks[proc_type] = hooks;
}

const FpHooks& fp_hooks(int proc_type) {
  return proc_type >= 1 && proc_type <= 10 ? g_hooks[proc_type] : kNone;
}

int fp_exec(Pcb*, uint32_t) { return kFpDone; }
EmCfrm* fp_frame(Pcb*, uint32_t) { return nullptr; }
bool is_output_frame(Pcb*, const EmCfrm*) { return false; }
void dsgn_err(Pcb*, uint32_t) { ut_unwind(4); }

int fp_init() { return fp_bltin_init(); }

void fp_register() { os_set_init(OsInit::Fp, fp_init); }
