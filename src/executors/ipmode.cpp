// The mode an Input process with a file starts in.
#include "executors/ip.h"
#include "foundation/os.h"

int ip_correct_mode(int mode, const IpModeFacts& f) {
  // A change rewrites the record: records of varying length need the file
  // opened for writing, as a delete does.
  auto change_ok = [&] { return f.chg && !(f.variable && f.access != 3); };
  switch (mode) {
    case 1:
      if (!f.add) mode = change_ok() ? 4 : 3;
      break;
    case 2:
      if (!f.del || f.access != 3) mode = 3;
      break;
    case 3:
      break;
    case 4:
      if (!change_ok()) mode = 3;
      break;
    default:
      mode = 3;
  }
  bool secure = mode == 1 ? f.add_sec : mode == 2 ? f.del_sec : mode == 4 ? f.chg_sec : true;
  return secure ? mode : 3;
}

IpModeSel ip_slct_mode(int result, int mode, int phase, const IpModeFacts& f) {
  IpModeSel keep{mode, phase, 0};
  switch (result) {
    case 27:
      if (!f.add_sec) return {mode, phase, 200460};
      return {1, 1, 0};
    case 28:
      if (!f.del_sec) return {mode, phase, 200460};
      return {2, 6, 0};
    case 29:
      return {3, 6, 0};
    case 30:
      if (!f.chg_sec) return {mode, phase, 200460};
      return {4, 6, 0};
    default:
      os_sys_err_text("IP", __LINE__, "slct_mode() - unexpected case switch");
      return keep;
  }
}
