// The engine's program entry: the start-up and the run modes live in the
// foundation (os_main); the subsystems hook their initialisers in here.
#include "design/se.h"
#include "files/brfanal.h"
#include "files/fm.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "language/ii.h"
#include "screen/wm.h"

int main(int argc, char** argv) {
  os_set_init(OsInit::FileManager, [] {
    fms_init();
    return 1;
  });
  wm_register();
  la_register();
  ii_register();
  se_register();
  os_hooks.file_utility = [](const OsCmd& cmd) { return brfanal_main(cmd.file_util, cmd.params, stdout); };
  return os_main(argc, argv);
}
