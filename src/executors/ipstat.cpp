// The Input process's status window: the status text laid out as the
// menu's, the mode text ("DATA ENTRY", "MENU ENTRY") after the engine's
// name, and the mode item near the right edge ("ADD", "CHG/KEY").
#include <cstdlib>
#include <cstring>

#include "executors/fp.h"
#include "executors/ip.h"
#include "executors/ipmlog.h"
#include "executors/ipscrl.h"
#include "executors/mp.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "process/em.h"
#include "process/pcb.h"
#include "process/pishr.h"
#include "process/services.h"
#include "screen/wm.h"
#include "screen/wmrec.h"

namespace {

constexpr const char* kMod = "IP";
constexpr int kModeTextLen = 10;
constexpr int kModeLen = 7;

// An Input process's status window, in a pool of its scope (PCB
// stat_line): the window, its region, the width it was laid out for, the
// two items and the mode item's text.
struct IpStat {
  rec::U32 window;          // 0
  rec::U32 region;          // 4
  rec::U16 width;           // 8
  rec::U16 b10;             // 10
  WmItem text_item;         // 12  the mode text
  WmItem mode_item;         // 240 the mode and phase names
  rec::Text<kModeLen> mode; // 468
  rec::U8 b475;             // 475
};
QV_RECORD(IpStat, 476);
QV_AT(IpStat, mode_item, 240);
QV_AT(IpStat, mode, 468);

IpStat* stat_of(Pcb* pcb) { return pcb ? static_cast<IpStat*>(pcb->stat_line.get()) : nullptr; }

// The mode item's text from the process's MODE and INTERACTIVE PHASE.
void set_mode(Pcb* pcb, IpStat* s) {
  auto* a11 = pi_area_rec<PdArea11>(pcb, 11);
  s->mode.set(a11 ? ip_mode_name(a11->mode, a11->phase) : "");
}

WmItem item_at(int col, int len, char* text) {
  WmItem it;
  std::memset(static_cast<void*>(&it), 0, sizeof it);
  it.row = 1;
  it.col = col;
  it.text_len = uint16_t(len);
  it.upd = 1;
  it.text.set(text);
  return it;
}

void lay_out(Pcb* pcb, IpStat* s) {
  if (s->window) wm_detach(s->window, 1);
  s->window = 0;
  MpStatWin sw = mp_stat_window(pcb, kMod, "ip_setup()", true);
  if (!sw.window) return;
  s->window = sw.window;
  s->region = sw.region;
  s->width = uint16_t(sw.width);
  int width = sw.width;
  const MpStatLayout& l = sw.layout;
  auto* st = pi_area_rec<PdStatus>(pcb, 7);
  s->text_item = item_at(l.mode_col, kModeTextLen, st ? st->mode_text.data() : nullptr);
  set_mode(pcb, s);
  int mode_col = l.fits ? width - 8 : width - 7;
  if (mode_col < 1) mode_col = 1;
  s->mode_item = item_at(mode_col, kModeLen, s->mode.data());
  bool ok = true;
  // A screen narrower than the item shows none.
  if (mode_col + kModeLen - 1 <= width) ok = wm_insert_itm(s->region, &s->mode_item, 0, 0, 0);
  if (st && width >= kModeTextLen) ok = wm_insert_itm(s->region, &s->text_item, 0, 0, 0) && ok;
  if (!ok) os_sys_err_text(kMod, __LINE__, "ip_setup() - wm_insert_itm failed");
}

}  // namespace

std::string ip_mode_name(int mode, int phase) {
  std::string modes = la_text(300510), phases = la_text(300500);
  auto name = [](const std::string& table, int n) {
    std::string t = n >= 1 && table.size() >= size_t(3 * n) ? table.substr(size_t(3 * (n - 1)), 3) : "   ";
    return t;
  };
  static const int kOwn[] = {0, 1, 2, 3, 7};
  std::string out = name(modes, mode);
  int own = mode >= 1 && mode <= 4 ? kOwn[mode] : 3;
  if (phase != own) out += "/" + name(phases, phase);
  out.resize(kModeLen, ' ');
  return out;
}

void ip_setup(Pcb* pcb, uint32_t* saved) {
  if (pcb) {
    ip_inp_enter(pcb, saved);
    ip_take_defaults(pcb);
  }
  if (!pcb || !com.status_surface) return;
  int scope = pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth);
  auto* s = static_cast<IpStat*>(MM_ALLOC(mm_create_pool(" IPPOOL    ", scope, 0), sizeof(IpStat)));
  std::memset(static_cast<void*>(s), 0, sizeof *s);
  pcb->stat_line.set(s);
  lay_out(pcb, s);
}

void ip_take_defaults(Pcb* pcb) {
  const EmHeader* em = pcb ? pcb->module.get() : nullptr;
  auto* a3 = em ? pi_area_rec<PdArea3>(pcb, 3) : nullptr;
  if (!a3) return;
  if (a3->default_mode == 0 || a3->default_mode > 254) a3->default_mode = em->dflt_mode;
  if (!em->dflt_auto_rdnxt.blank()) a3->auto_readnext = em->dflt_auto_rdnxt;
  a3->exact_key = em->dflt_exact_key;  // (blank: no exact key, as '0')
}

void ip_upd_stat(Pcb* pcb) {
  IpStat* s = stat_of(pcb);
  if (!s || !s->window) return;
  if (mp_screen_cols() != int(s->width)) lay_out(pcb, s);
  set_mode(pcb, s);
  bool ok = true;
  for (WmItem* it : {&s->text_item, &s->mode_item}) {
    if (!it->text) continue;
    it->upd = 1;
    if (int(it->col) + int(it->text_len) - 1 <= int(s->width)) ok = wm_upd_itm(s->region, it, 0, 0, 0) && ok;
  }
  if (!ok) os_sys_err_text(kMod, __LINE__, "ip_upd_stat() - wm_upd_itm failed");
}

void ip_cleanup(Pcb* pcb, uint32_t* saved) {
  fp_release_regions(pcb);
  ip_inp_leave(pcb, saved);
  IpStat* s = stat_of(pcb);
  if (!s) return;
  if (s->window && !wm_detach(s->window, 1)) os_sys_err_text(kMod, __LINE__, "ip_cleanup() - wm_detach failed");
  s->window = 0;
  pcb->stat_line.reset();
}

void ip_register() {
  os_set_init(OsInit::Ip, [] {
    // The suite's engine scripting the executor doubles keeps them.
    const char* scripted = os_test_hook("QUVO_TEST_EXEC");
    if (!scripted || !*scripted) {
      proc_svc.ip_setup = ip_setup;
      proc_svc.ip_upd_stat = ip_upd_stat;
      proc_svc.ip_cleanup = ip_cleanup;
      proc_svc.ip_exec = ip_exec;
      proc_svc.ip_auto = ip_auto;
      FpHooks h;
      h.sof = ip_sof;
      h.eof = ip_eof;
      h.pre_invoc = ip_pre_invoc;
      h.post_invoc = ip_post_invoc;
      fp_set_hooks(2, h);
    }
    // END and CANCEL end the modification log (ipmlog.cpp).
    FpHooks h = fp_hooks(2);
    h.leave = ip_mod_end;
    fp_set_hooks(2, h);
    return ip_wcb_init();
  });
}
