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

int ip_mode_phase(int mode) {
  switch (mode) {
    case 1: return 1;
    case 2: return 2;
    case 4: return 7;
    default: return 3;
  }
}

bool ip_auto_rdnxt(int mode, int phase, char auto_readnext) {
  if (mode == 1 || (phase != 7 && phase != 2 && phase != 3)) return false;
  return auto_readnext == '1' || (auto_readnext == ' ' && mode != 2);
}

IpModeSel ip_init_mode(int mode, const IpModeFacts& f, bool entry, bool keyed, char auto_readnext,
                       const std::function<uint32_t(int mode, int phase)>& read_first) {
  if (!keyed) return {mode, ip_mode_phase(mode), 0};
  mode = ip_correct_mode(mode, f);
  const bool arn = auto_readnext == '1';
  const bool add_ok = f.add && f.add_sec;
  auto held = [](uint32_t st) { return st == 200520 || st == 200530; };
  switch (mode) {
    case 1: {
      if (entry) return {1, 1, 0};
      bool chg = f.chg && f.chg_sec && !(f.variable && f.access != 3);
      int m = chg ? 4 : 3, ph = chg ? 7 : 3;
      uint32_t st = read_first(m, ph);
      if (st == 0) return {m, ph, 0};
      if (held(st)) return {m, 3, 0};
      return {1, 1, 0};
    }
    case 2: {
      if (!arn) return {2, 6, 0};
      uint32_t st = read_first(2, 2);
      return {2, st == 0 ? 2 : held(st) ? 3 : 6, 0};
    }
    case 3:
      if ((!entry || arn) && read_first(3, 3) == 0) return {3, 3, 0};
      if (!entry && add_ok) return {1, 1, 0};
      return {3, 6, 0};
    case 4: {
      if (entry && !arn) return {4, 6, 0};
      uint32_t st = read_first(4, 7);
      if (st == 0) return {4, 7, 0};
      if (held(st)) return {4, 3, 0};
      if (entry && !add_ok) return {4, 6, 0};
      return {1, 1, 0};
    }
    default:
      os_sys_err_text("IP", __LINE__, "init_mode() - unexpected case switch");
      return {3, 6, 0};
  }
}
