// The menu executor and the Menu process's status window.
#include "executors/mp.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "executors/fp.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/pishr.h"
#include "process/services.h"
#include "screen/wm.h"
#include "screen/wmrec.h"

namespace {

constexpr const char* kMod = "MP";
constexpr int kModeLen = 10;      // the mode text: "MENU ENTRY", "DATA ENTRY"
constexpr size_t kMsgMax = 132;   // of each status message

// A Menu process's status window, in its process pool (PCB stat_line): the
// window, its region, the width it was laid out for and the mode-text item;
// and the regions of the frames' own windows.
struct MpStat {
  rec::U32 window;            // 0
  rec::U32 region;            // 4
  rec::U16 width;             // 8
  rec::U16 b10;               // 10
  WmItem item;                // 12
  Ref<rec::U32> frame_wnd;    // 240 by frame sequence 1 .. count: the region of its own window, 0 none
  rec::U32 frame_count;       // 244
};
QV_RECORD(MpStat, 248);
QV_AT(MpStat, width, 8);
QV_AT(MpStat, item, 12);
QV_AT(MpStat, frame_wnd, 240);
QV_AT(MpStat, frame_count, 244);

MmPool g_pool = 0;

MpStat* stat_of(Pcb* pcb) { return pcb ? static_cast<MpStat*>(pcb->stat_line.get()) : nullptr; }

std::string msg_text(uint32_t number) {
  std::string t = la_text(number);
  if (t.size() > kMsgMax) t.resize(kMsgMax);
  return t;
}

}  // namespace

MpStatWin mp_stat_window(Pcb* pcb, const char* module, const char* who, bool help_hint) {
  MpStatWin sw;
  sw.width = mp_screen_cols();
  const char* q = std::getenv("QUVO_MSG");
  sw.layout = mp_stat_layout(sw.width, q ? q : "", help_hint);
  WmWnd w;
  INIT_WND(&w, 3, 0, 1, 1, sw.width, 0);
  int scope = pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth);
  WmHandle win = wm_attach(&w, com.status_surface, scope);
  if (!win) {
    os_sys_err_text(module, __LINE__, (std::string(who) + " - wm_attach failed").c_str());
    return sw;
  }
  sw.window = win;
  sw.region = w.region;
  if (!wm_write_reg(sw.region, sw.layout.text))
    os_sys_err_text(module, __LINE__, (std::string(who) + " - wm_write_reg failed").c_str());
  return sw;
}

namespace {

// The mode-text item lies within the width the line was laid out for.
bool fits(const MpStat* s) { return int(s->item.col) + kModeLen - 1 <= int(s->width); }

// Lays the window out for the present width: a new one-row window on the
// status line holding the status text and the mode item.
void lay_out(Pcb* pcb, MpStat* s) {
  if (s->window) wm_detach(s->window, 1);
  s->window = 0;
  s->region = 0;
  MpStatWin sw = mp_stat_window(pcb, kMod, "mp_setup()", false);
  if (!sw.window) return;
  s->window = sw.window;
  s->region = sw.region;
  s->width = uint16_t(sw.width);
  const MpStatLayout& l = sw.layout;
  std::memset(static_cast<void*>(&s->item), 0, sizeof s->item);
  s->item.row = 1;
  s->item.col = l.mode_col;
  s->item.text_len = kModeLen;
  s->item.upd = 1;
  if (auto* st = pi_area_rec<PdStatus>(pcb, 7)) s->item.text.set(st->mode_text.data());
  if (!fits(s)) return;  // a screen narrower than the mode text shows none
  if (!s->item.text || !wm_insert_itm(s->region, &s->item, 0, 0, 0))
    os_sys_err_text(kMod, __LINE__, "mp_setup() - wm_insert_itm failed");
}

// Menus leave through END, CANCEL or a back-out; the frame's windows go
// with the process however it ends.
struct Regions {
  Pcb* pcb;
  ~Regions() { fp_release_regions(pcb); }
};

}  // namespace

MpStatLayout mp_stat_layout(int width, const std::string& qmsg, bool help_hint) {
  MpStatLayout l;
  if (width < 1) width = 1;
  l.text.assign(size_t(width), ' ');
  if (!qmsg.empty()) {
    std::string m = qmsg.substr(0, size_t(width));
    l.text.replace((size_t(width) - m.size()) / 2, m.size(), m);
  }
  std::string name = msg_text(300530), help = msg_text(300520);
  int room = width - int(name.size() + help.size() + 21);
  if (room >= 1 && room <= width) {
    l.fits = true;
    l.text.replace(0, name.size(), name);
    if (help_hint) l.text.replace(size_t(width - 10) - help.size(), help.size(), help);
    l.mode_col = int(name.size()) + 2;
  }
  return l;
}

int mp_screen_cols() {
  if (com.screen_up || wm_no_terminal()) return com.cols;
  winsize ws;
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return com.cols;
}

int mp_init() {
  g_pool = mm_create_pool(" MPPOOL    ", 0, 0);
  return g_pool ? 1 : 0;
}

void mp_setup(Pcb* pcb) {
  if (!pcb || !com.status_surface) return;
  // The record lives as long as the process's scope.
  int scope = pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth);
  auto* s = static_cast<MpStat*>(MM_ALLOC(mm_create_pool(" MPPOOL    ", scope, 0), sizeof(MpStat)));
  std::memset(static_cast<void*>(s), 0, sizeof *s);
  pcb->stat_line.set(s);
  lay_out(pcb, s);
}

void mp_exec(Pcb* pcb) {
  // A menu defined without frames has no options to show: it ends at
  // once, normally, as a report without frames does.
  if (!pcb->module || pcb->module->n_frames == 0) ut_unwind(1);
  Regions keep{pcb};
  // 1. Frame 1 starts at level 1 when its first image has entry levels.
  if (PcbFrameEnt* ft = pcb->frame_tbl.get(); ft && fp_frame(pcb, 1)) {
    EmCfrm* fr = fp_frame(pcb, 1);
    ft[1].level = fp_img_levels(fp_image(pcb, fr->first_img)) != 0 ? 1 : 0;
  }
  // 2, 3. The menu frame ends only by backing out.
  if (fp_exec(pcb, 1) != kFpBack) {
    os_sys_err_text(kMod, __LINE__, "mp_exec() - unexpected completion of frame");
    pcb->invoc.completion = 4;
    ut_unwind(4);
  }
  ut_unwind(kFpBack);
}

void mp_sof(Pcb* pcb) {
  MpStat* s = stat_of(pcb);
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  const uint32_t f = pcb ? uint32_t(pcb->run.frame) : 0;
  EmCfrm* fr = em && f >= 1 && f <= em->n_frames ? fp_frame(pcb, f) : nullptr;
  // A frame has a window of its own when its size is given.
  if (!s || !fr || fr->pos[2] < 1 || fr->pos[3] < 1) return;
  if (!s->frame_wnd) {
    int scope = pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth);
    size_t n = size_t(em->n_frames) + 1;
    auto* t = static_cast<rec::U32*>(MM_ALLOC(mm_create_pool(" MPPOOL    ", scope, 0), n * sizeof(rec::U32)));
    std::memset(static_cast<void*>(t), 0, n * sizeof(rec::U32));
    s->frame_wnd.set(t);
    s->frame_count = em->n_frames;
  }
  rec::U32& region = s->frame_wnd.get()[f];
  if (region) return;  // the frame shown again keeps its window
  fp_ensure_surfaces(pcb);
  WmWnd w;
  INIT_WND(&w, 1, fr->pos[0], fr->pos[1], fr->pos[2], fr->pos[3], 0);
  int scope = pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth);
  if (!wm_attach(&w, pcb->surface2, scope)) {
    os_sys_err_text(kMod, __LINE__, "attach_wnd() - wm_attach failed");
    return;
  }
  region = w.region;
}

void mp_upd_stat(Pcb* pcb) {
  MpStat* s = stat_of(pcb);
  if (!s || !s->window) return;
  // The terminal may have changed size since the line was laid out.
  if (mp_screen_cols() != int(s->width)) lay_out(pcb, s);
  if (!s->window || !fits(s)) return;
  if (auto* st = pi_area_rec<PdStatus>(pcb, 7)) s->item.text.set(st->mode_text.data());
  s->item.upd = 1;
  if (!wm_upd_itm(s->region, &s->item, 0, 0, 0)) os_sys_err_text(kMod, __LINE__, "mp_upd_stat() - wm_upd_itm failed");
}

void mp_cleanup(Pcb* pcb) {
  fp_release_regions(pcb);
  MpStat* s = stat_of(pcb);
  if (!s) return;
  if (rec::U32* t = s->frame_wnd.get())
    for (uint32_t f = 1; f <= s->frame_count; ++f)
      if (t[f] && !wm_detach(t[f], 1)) os_sys_err_text(kMod, __LINE__, "mp_cleanup() - wm_detach failed");
  s->frame_wnd.reset();
  s->frame_count = 0;
  if (s->window && !wm_detach(s->window, 1)) os_sys_err_text(kMod, __LINE__, "mp_cleanup() - wm_detach failed");
  s->window = 0;
  s->region = 0;
  pcb->stat_line.reset();
}

void mp_register() {
  os_set_init(OsInit::Mp, [] {
    // The suite's engine scripting the executor doubles keeps them.
    const char* scripted = os_test_hook("QUVO_TEST_EXEC");
    if (!scripted || !*scripted) {
      proc_svc.mp_setup = mp_setup;
      proc_svc.mp_exec = mp_exec;
      proc_svc.mp_upd_stat = mp_upd_stat;
      proc_svc.mp_cleanup = mp_cleanup;
    }
    FpHooks h = fp_hooks(1);
    h.sof = mp_sof;
    fp_set_hooks(1, h);
    return mp_init();
  });
}
