// The engine's program entry: the start-up and the run modes live in the
// foundation (os_main); the subsystems hook their initialisers in here.
#include <cstdio>

#include "engine.h"
#include "files/brfanal.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "foundation/ut.h"
#include "executors/op.h"

// A test program built from this entry adds one registration of its own.
#ifdef QUVO_EXTRA_REGISTER
void QUVO_EXTRA_REGISTER();
#endif

int main(int argc, char** argv) {
  engine_register();
  op_register();
  op_exec_register();
#ifdef QUVO_EXTRA_REGISTER
  QUVO_EXTRA_REGISTER();
#endif
  os_hooks.file_utility = [](const OsCmd& cmd) {
    // The file utilities run with the engine's fault handling: a memory fault
    // unwinds (releasing the locks taken) and ends the run with status 37.
    bi_init_com();
    ss_reset_sig_handler();
    int status = kExitNormal;
    int code = mark(1, [&] { status = brfanal_main(cmd.file_util, cmd.params, stdout); });
    if (code != int(CompletionCode::Signal)) return status;
    std::fprintf(stderr, "quvo: memory fault (signal %d) at address %p in the file utility; its locks are released\n",
                 ss_fault_signal(), ss_fault_addr());
    return int(CompletionCode::Signal);
  };
  return os_main(argc, argv);
}
