// The interim Menu executor: what the menu executor does until it is
// built, enough to run menus on the frame processor: frame 1 from the entry
// level its first image asks for, until it backs out (the process ends with
// 5); END and CANCEL unwind from the frame processor itself.
#include "executors/fp.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/emrec.h"
#include "process/pcb.h"

namespace {
constexpr const char* kMod = "FP";

// The process's windows go when its executor ends, however it ends.
struct Regions {
  Pcb* pcb;
  ~Regions() { fp_release_regions(pcb); }
};

}  // namespace

void fp_mp_exec(Pcb* pcb) {
  Regions keep{pcb};
  if (PcbFrameEnt* ft = pcb->frame_tbl.get(); ft && fp_frame(pcb, 1)) {
    EmCfrm* fr = fp_frame(pcb, 1);
    ft[1].level = fp_img_levels(fp_image(pcb, fr->first_img)) != 0 ? 1 : 0;
  }
  if (fp_exec(pcb, 1) != kFpBack) {
    os_sys_err_text(kMod, __LINE__, "mp_exec() - unexpected completion of frame");
    ut_unwind(4);
  }
  ut_unwind(kFpBack);
}
