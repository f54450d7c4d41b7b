// The interim Input executor: what the input executor does until it is
// built, enough to run forms without a file of their own on the frame
// processor.
//   Input without a PCF: MODE from DEFAULT MODE (1 when 0) and its phase,
//     entry from level 1 when the form has levels, then frame 1 until it
//     backs out (5) or is done (22, 36: end with 2).
//   Input with a PCF: not run yet; a system error, and the process ends
//     with 4.
#include "executors/fp.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/pishr.h"

namespace {
constexpr const char* kMod = "FP";

// The process's windows go when its executor ends, however it ends.
struct Regions {
  Pcb* pcb;
  ~Regions() { fp_release_regions(pcb); }
};

// The phase of a mode: Add 1, Delete 2, Change 7, any other Inquire 3.
uint8_t mode_phase(int mode) {
  switch (mode) {
    case 1: return 1;
    case 2: return 2;
    case 4: return 7;
    default: return 3;
  }
}
}  // namespace

void fp_ip_exec(Pcb* pcb) {
  Regions keep{pcb};
  if (fp_has_pcf(pcb)) {
    os_sys_err_text(kMod, __LINE__, "ip_exec() - Input processes with their own file do not run yet");
    ut_unwind(4);
  }
  // Fields are entered from the first level when the form has levels.
  if (PcbFrameEnt* ft = pcb->frame_tbl.get(); ft && fp_frame(pcb, 1))
    ft[1].level = fp_img_levels(fp_image(pcb, fp_frame(pcb, 1)->first_img)) != 0 ? 1 : 0;
  PdArea3* a3 = pi_area_rec<PdArea3>(pcb, 3);
  PdArea11* a11 = pi_area_rec<PdArea11>(pcb, 11);
  if (a11) {
    int mode = a3 && a3->default_mode ? int(a3->default_mode) : 1;
    a11->mode = uint8_t(mode);
    a11->phase = mode_phase(mode);
  }
  for (;;) {
    int r = fp_exec(pcb, 1);
    if (r == kFpBack) ut_unwind(kFpBack);
    if (r == kFpDone || r == kFpScanChose) ut_unwind(2);
  }
}
