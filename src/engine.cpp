// The engine's services, registered in the order start-up needs them. This
// is the one place that knows every layer: each layer below reaches a higher
// one only through what is registered here.
#include "engine.h"

#include "design/se.h"
#include "dictionary/bs.h"
#include "dictionary/dd1.h"
#include "executors/fp.h"
#include "executors/ip.h"
#include "executors/mp.h"
#include "executors/rt.h"
#include "files/fm.h"
#include "files/lafi.h"
#include "foundation/os.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pb.h"
#include "process/pc.h"
#include "process/piexec.h"
#include "process/pl.h"
#include "screen/wm.h"

void engine_register() {
  os_set_init(OsInit::FileManager, [] {
    fms_init();
    pb_init();
    return 1;
  });
  wm_register();
  la_register();
  bs_register();
  dd_register();
  ii_register();
  se_register();
  ii_families_register();
  pc_register();
  sc_register();
  pl_register();
  pi_register();
  rt_register();
  fp_register();
  mp_register();
  ip_register();
}
