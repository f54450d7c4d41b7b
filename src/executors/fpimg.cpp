// The frame processor: one image pass (region, items, the wait, field
// verification), the show loop, the option rule and the option dispatch.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "executors/fp.h"
#include "executors/fpchld.h"
#include "executors/fpitm.h"
#include "executors/ipscrl.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pishr.h"
#include "process/services.h"
#include "screen/wm.h"

namespace {

constexpr const char* kMod = "FP";

void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

// The frame processor's pool of the engine scope: message buffers and the
// one show block every wait uses.
MmPool fp_pool() { return mm_create_pool(" FPPOOL    ", com.base_scope, 0); }

PdStatus* status(Pcb* pcb) { return pi_area_rec<PdStatus>(pcb, kPcbStatusArea); }
PdArea3* steer(Pcb* pcb) { return pi_area_rec<PdArea3>(pcb, 3); }
PdArea11* phase_rec(Pcb* pcb) { return pi_area_rec<PdArea11>(pcb, 11); }

int option(Pcb* pcb) {
  PdStatus* st = status(pcb);
  return st ? int(st->option) : int(opt::kNone);
}
void set_option(Pcb* pcb, int o) {
  if (PdStatus* st = status(pcb)) st->option = uint16_t(o);
}
int phase(Pcb* pcb) {
  PdArea11* a = phase_rec(pcb);
  return a ? int(a->phase) : 0;
}
int mode(Pcb* pcb) {
  PdArea11* a = phase_rec(pcb);
  return a ? int(a->mode) : 0;
}
int level(Pcb* pcb) {
  PdArea11* a = phase_rec(pcb);
  return a ? int(a->entry_level) : 0;
}
void set_level(Pcb* pcb, int l) {
  if (PdArea11* a = phase_rec(pcb)) a->entry_level = uint8_t(l);
}
void next_child(Pcb* pcb, const char* id) {
  if (PdStatus* st = status(pcb)) st->next_child.set(id);
}

EmCfrm* cur_frame(Pcb* pcb) { return fp_frame(pcb, pcb->run.frame); }
PcbFrameEnt* cur_frame_ent(Pcb* pcb) {
  EmHeader* em = pcb->module.get();
  uint32_t f = pcb->run.frame;
  return em && pcb->frame_tbl && f && f <= em->n_frames ? &pcb->frame_tbl.get()[f] : nullptr;
}
PcbImageEnt* image_ent(Pcb* pcb, uint32_t seq) {
  EmHeader* em = pcb->module.get();
  return em && pcb->image_tbl && seq && seq <= em->n_images ? &pcb->image_tbl.get()[seq] : nullptr;
}

bool has_ep(uint32_t entry) { return (entry & 0xFFFF) != 0xFFFF; }

// ------------------------------------------------------ message files --
// Calls fn(record, length) for each message of a message file, in order.
void each_msg(FmArb* f, const std::function<void(const uint8_t*, size_t)>& fn) {
  if (!f || !fm_is_handle(f) || !f->file) return;
  size_t reclen = f->file->fdb.rec_len.get();
  if (reclen < sizeof(LaQueueRec)) return;
  FmArb* s = FM_ATTACH(f, nullptr, com.depth.get());
  if (!s) return;
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(fp_pool(), reclen));
  s->rec.set(buf);
  s->rec_len = uint16_t(reclen);
  s->key_no = 0;
  s->op = FM_OP_FIRST;
  bool ok = fm_start(s) != 0;
  s->op = 0;
  while (ok && fm_rdnxt(s)) fn(buf, std::min<size_t>(reclen, s->len_read.get()));
  fm_detach(s);
  mm_free(buf);
}

int msg_count(FmArb* f, int* top_type = nullptr) {
  int n = 0;
  if (top_type) *top_type = 0;
  each_msg(f, [&](const uint8_t* r, size_t) {
    ++n;
    if (top_type) *top_type = std::max(*top_type, int(rec::view<LaQueueRec>(const_cast<uint8_t*>(r)).severity));
  });
  return n;
}

void copy_msgs(FmArb* from, FmArb* to, int* top_type, const char* what) {
  if (!from || !to || !fm_is_handle(to)) return;
  each_msg(from, [&](const uint8_t* r, size_t len) {
    if (top_type) *top_type = std::max(*top_type, int(rec::view<LaQueueRec>(const_cast<uint8_t*>(r)).severity));
    to->op = 0;
    to->rec.set(const_cast<uint8_t*>(r));
    to->rec_len = uint16_t(len);
    if (!fm_write(to)) sys_err(__LINE__, what);
    to->rec.reset();
  });
}

void empty_msgs(FmArb* f, const char* what) {
  if (f && fm_is_handle(f) && msg_count(f) && !fm_del_all(f)) sys_err(__LINE__, what);
}

// The process's current and previous message files.
FmArb* cur_msgs(Pcb* pcb) { return pcb->msg_file.get(); }
FmArb* prev_msgs(Pcb* pcb) { return pcb->prev_msg[0].get(); }
FmArb* show_msgs(Pcb* pcb) { return pcb->prev_msg[1].get(); }
void swap_msgs(Pcb* pcb) {
  FmArb* c = pcb->msg_file.get();
  pcb->msg_file.set(pcb->prev_msg[0].get());
  pcb->prev_msg[0].set(c);
}

}  // namespace

// --------------------------------------------------------- surfaces --
// The process's two surfaces, made in its scope when it was handed none.
void fp_ensure_surfaces(Pcb* pcb) {
  int scope = pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth);
  for (rec::U32* s : {&pcb->surface1, &pcb->surface2}) {
    if (*s) continue;
    uint32_t h = 0;
    if (!wm_create_srf(&h, scope)) {
      sys_err(__LINE__, "exec_img() - unable to create surface");
      ut_unwind(4);
    }
    *s = h;
  }
}

namespace {

WmHandle region_of(Pcb* pcb) {
  PcbImageEnt* e = image_ent(pcb, pcb->run.image);
  return e ? WmHandle(e->region) : 0;
}
void deactivate(Pcb* pcb) {
  if (WmHandle r = region_of(pcb); r && !wm_deactv(r)) sys_err(__LINE__, "exec_img() - wm_deactv failed");
}
void activate(Pcb* pcb) {
  if (WmHandle r = region_of(pcb)) wm_actv(r);
}

// Step 4: the image's region attached and active; true when it was
// attached before (reattached).
bool attach(Pcb* pcb, uint32_t img) {
  EmCimg* ci = fp_image(pcb, img);
  PcbFrameEnt* fe = cur_frame_ent(pcb);
  PcbImageEnt* ie = image_ent(pcb, img);
  fp_ensure_surfaces(pcb);
  WmHandle srf = fp_img_first_srf(ci) ? WmHandle(pcb->surface1) : WmHandle(pcb->surface2);
  bool reattached = false;
  // A scrolling frame of an Input process: the region of its current row
  // in the frame's window, written afresh.
  if (ip_scrolling(pcb)) {
    PcbScroll* sb = pcb->scroll_img.get();
    WmHandle w = ip_scroll_window(pcb);
    uint32_t row = std::max<uint32_t>(1, sb->row);
    WmHandle reg = w ? wm_pos_reg(w, int(row)) : 0;
    if (!reg) {
      sys_err(__LINE__, "exec_img() - wm_attach failed");
      ut_unwind(4);
    }
    if (row > sb->shown) sb->shown = uint8_t(row);
    // The cursor stands on the row (its item: row_cursor).
    pcb->run.curs_req = wmshow::kReqField;
    pcb->run.req_row = 1;
    pcb->run.req_col = 1;
    ie->region = reg;
    fe->image = img;
    wm_actv(reg);
    return false;
  }
  if (fe->image && fe->image != img)
    if (PcbImageEnt* old = image_ent(pcb, fe->image); old && old->region && !wm_detach(old->region, 0))
      sys_err(__LINE__, "exec_img() - wm_detach failed");
  if (pcb->invoc.type == 2) {
    // An Input process's windows are kept in its WCB records.
    WmWnd w;
    INIT_WND(&w, 1, std::max(1, ci->row.get()), std::max(1, ci->col.get()), std::max(1, ci->rows.get()),
             std::max(1, ci->cols.get()), 0);
    WmHandle reg = ip_attach(pcb, &w, srf, int(pcb->run.frame), int(img), &reattached);
    if (!reg) ut_unwind(4);
    ie->region = reg;
  } else if (ie->region) {
    if (!wm_reattach(ie->region, srf, nullptr)) sys_err(__LINE__, "wm_reattach failed");
    reattached = true;
  } else {
    WmWnd w;
    INIT_WND(&w, 1, std::max(1, ci->row.get()), std::max(1, ci->col.get()), std::max(1, ci->rows.get()),
             std::max(1, ci->cols.get()), 0);
    if (!wm_attach(&w, srf, int(pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth)))) {
      sys_err(__LINE__, "exec_img() - wm_attach failed");
      ut_unwind(4);
    }
    ie->region = w.region.get();
  }
  fe->image = img;
  wm_actv(ie->region);
  return reattached;
}

// A scrolling row, its items prepared for the phase: the cursor on the
// first item that takes input, else on the first item.
void row_cursor(Pcb* pcb, const EmCimg* ci) {
  PcbItemEnt* t = pcb->item_tbl.get();
  EmHeader* em = pcb->module.get();
  if (!t || !ci->first_item) return;
  int col = 0;
  for (uint32_t i = ci->first_item; i <= ci->last_item && i <= em->n_items && !col; ++i)
    if (t[i].citm && t[i].input) col = t[i].citm->wm.col.get();
  if (!col && t[ci->first_item].citm) col = t[ci->first_item].citm->wm.col.get();
  pcb->run.req_col = std::max(1, col);
}

// True when an item of the image is displayed.
bool any_shown(Pcb* pcb, const EmCimg* ci) {
  PcbItemEnt* t = pcb->item_tbl.get();
  EmHeader* em = pcb->module.get();
  if (!t || !ci->first_item) return false;
  for (uint32_t i = ci->first_item; i <= ci->last_item && i <= em->n_items; ++i)
    if (t[i].shown) return true;
  return false;
}
void clear_shown(Pcb* pcb, const EmCimg* ci) {
  PcbItemEnt* t = pcb->item_tbl.get();
  EmHeader* em = pcb->module.get();
  if (!t || !ci->first_item) return;
  for (uint32_t i = ci->first_item; i <= ci->last_item && i <= em->n_items; ++i) {
    t[i].pending = 0;
    t[i].shown = 0;
  }
}

// The compiled child of numbered option `o` on image `img`, or null.
EmCchld* option_child(Pcb* pcb, uint32_t img, int o) {
  EmHeader* em = pcb->module.get();
  PcbChildEnt* t = pcb->child_tbl.get();
  if (!em || !t) return nullptr;
  for (uint32_t c = 1; c <= em->n_children; ++c) {
    EmCchld* ch = t[c].cchld.get();
    if (ch && ch->image_seq == img && ch->disc == o) return ch;
  }
  return nullptr;
}

// Process event point 11 (Set Extended Values) before a child runs.
void proc_ep11(Pcb* pcb) {
  PiEpArg a{pcb, 11, 0};
  proc_svc.ii_proc_exec(&a);
}

bool may_back_out_first(Pcb* pcb) { return pcb->invoc.query_edit_mode == '1'; }

// The values the user typed are still only on the screen (they reach the
// record at verification): the next pass of an image that only shows
// itself again (after a help child, a key refused or not acted on) must not
// display the items again from the record.
void keep_typed(Pcb* pcb, uint32_t img) {
  EmCimg* ci = fp_image(pcb, img);
  EmHeader* em = pcb->module.get();
  if (PcbItemEnt* t = pcb->item_tbl.get(); t && ci && ci->first_item)
    for (uint32_t i = ci->first_item; i <= ci->last_item && i <= em->n_items; ++i) t[i].pending = 0;
}

// What was typed stays when the image shows again after a key it did not act
// on, unless code of its Post Display or of the frame's Option Intercept ran
// (it may have changed the values, as code that sets OPTION 277 or 279 to
// show the image again with the next record does).
void keep_typed_unless_code(Pcb* pcb, uint32_t img) {
  EmCimg* ci = fp_image(pcb, img);
  EmCfrm* fr = cur_frame(pcb);
  if ((ci && has_ep(ci->eps[2])) || (fr && has_ep(fr->eps[3]))) return;
  keep_typed(pcb, img);
}

// After a help child shown over this image: what was typed stays, and the
// cursor goes back to the place of the last wait on this image, not where
// the child's last wait left it.
void back_from_help(Pcb* pcb, uint32_t img) {
  keep_typed(pcb, img);
  if (!pcb->run.curs_row || !pcb->run.curs_col) return;  // it was outside the image
  pcb->run.curs_req = wmshow::kReqPos;
  pcb->run.req_row = pcb->run.curs_row.get();
  pcb->run.req_col = pcb->run.curs_col.get();
}

// The option dispatch: a frame result, or 0 when the image goes on.
int dispatch(Pcb* pcb, uint32_t img, bool* place_cursor) {
  EmCfrm* fr = cur_frame(pcb);
  EmCimg* ci = fp_image(pcb, img);
  PcbFrameEnt* fe = cur_frame_ent(pcb);
  const int o = option(pcb);
  const int type = pcb->invoc.type;
  if (o <= 255) {
    EmCchld* ch = option_child(pcb, img, o);
    if (!ch) return 0;
    deactivate(pcb);
    proc_ep11(pcb);
    invoc_chld(pcb, ch);
    activate(pcb);
    *place_cursor = true;
    return 0;
  }
  switch (o) {
    case opt::kScan: {
      int r = 0;
      if (fp_cur_item(pcb) || mode(pcb) == 1 || phase(pcb) == 6) r = fp_opt_scan(pcb);
      else fp_msg(pcb, 300590);
      if (r == 0) back_from_help(pcb, img);
      return r;
    }
    case opt::kSelectKey: return fp_opt_select_key(pcb);
    case opt::kBack:
      if (pcb->run.frame == 1 && !may_back_out_first(pcb)) {
        keep_typed_unless_code(pcb, img);
        return 0;
      }
      if (WmHandle r = region_of(pcb); r && !wm_detach(r, 0)) sys_err(__LINE__, "wm_detach failed");
      next_child(pcb, "-   ");
      return kFpBack;
    case opt::kNext: return kFpNext;
    case opt::kAddMode:
    case opt::kDeleteMode:
    case opt::kInquireMode:
    case opt::kChangeMode: return kFpAdd + (o - opt::kAddMode);
    case opt::kEntryAttrs: {
      int r = fp_opt_entry_attrs(pcb);
      if (r == 0) back_from_help(pcb, img);
      return r;
    }
    case opt::kDirect1:
    case opt::kDirect2: return fp_opt_direct(pcb, o);
    case opt::kEnd:
      deactivate(pcb);
      if (auto leave = fp_hooks(type).leave) leave(pcb);
      ut_unwind(2);
    case opt::kHelp:
      fp_opt_help(pcb);
      back_from_help(pcb, img);
      return 0;
    case 277:
    case opt::kMessage:  // accepted: the image shows again
      keep_typed_unless_code(pcb, img);
      return 0;
    case opt::kCancel: {
      PdArea3* a3 = steer(pcb);
      if (!a3 || a3->cancel_ok != "1" || pcb->invoc.child_fail_mode == 0) {
        keep_typed_unless_code(pcb, img);
        return 0;
      }
      deactivate(pcb);
      if (auto leave = fp_hooks(type).leave) leave(pcb);
      ut_unwind(4);
    }
    case opt::kHelpOpt:
      fp_opt_help_opt(pcb);
      back_from_help(pcb, img);
      return 0;
    case opt::kEnter: {
      next_child(pcb, "+   ");
      deactivate(pcb);
      int ph = phase(pcb), lv = level(pcb);
      if (ph == 1 && lv != 0 && lv < fp_img_levels(ci)) {
        set_level(pcb, lv + 1);
        return kFpAgain;
      }
      if (type == 1) {
        set_level(pcb, 0);
        fe->level = 0;
        return kFpAgain;
      }
      if (fr->mode == 3 && ph != 2 && ph != 6) return kFpAgain;
      if (int k = fp_img_wnd_kind(ci); k == 2 || k == 3) {
        if (WmHandle r = region_of(pcb); r && !wm_detach(r, 1)) sys_err(__LINE__, "wm_detach failed");
        if (PcbImageEnt* ie = image_ent(pcb, img)) ie->region = 0;
        fe->image = 0;
      }
      return kFpDone;
    }
    case opt::kDeleteAck: return kFpDelAck;
    default:
      if (o >= opt::kTop && o <= opt::kLineUp) return kFpScroll;
      sys_err(__LINE__, "exec_img() - option not yet implemented");
      return 0;
  }
}

}  // namespace

// ------------------------------------------------------- fp_get_cimg --
int fp_get_cimg(Pcb* pcb) {
  EmCfrm* fr = cur_frame(pcb);
  if (!fr || !fr->first_img) {
    sys_err(__LINE__, "fp_get_cimg() - frame has no images");
    ut_unwind(4);
  }
  uint32_t img = fr->first_img;
  PdArea3* a3 = steer(pcb);
  if (fr->last_img > fr->first_img && a3 && a3->alt_image > 1)
    for (uint32_t i = fr->first_img; i <= fr->last_img; ++i)
      if (EmCimg* ci = fp_image(pcb, i); ci && ci->image_no == a3->alt_image) {
        img = i;
        break;
      }
  pcb->run.image = img;
  return int(img);
}

rec::U32* fp_get_reg(Pcb* pcb, int) {
  if (!pcb || !pcb->run.frame) return nullptr;
  PcbImageEnt* e = image_ent(pcb, pcb->run.image);
  return e && e->region ? &e->region : nullptr;
}

// --------------------------------------------------------- verify_opt --
// Whether the option is taken here (the refusal is verify_opt's).
static int option_ok(Pcb* pcb, int img) {
  const int o = option(pcb);
  switch (o) {
    case opt::kScan:
    case opt::kBack:
    case opt::kDirect1:
    case opt::kDirect2:
    case opt::kEnd:
    case opt::kHelp:
    case 277:
    case opt::kCancel:
    case opt::kMessage:
    case opt::kHelpOpt:
    case opt::kEnter: return 1;
    default: break;
  }
  EmCfrm* fr = cur_frame(pcb);
  EmCimg* ci = fp_image(pcb, uint32_t(img));
  const int type = pcb->invoc.type;
  if (o > 255) {
    if (type == 1) return 0;
    const bool pcf = fp_has_pcf(pcb), entry = fp_record_entry(pcb);
    const int ph = phase(pcb);
    switch (o) {
      case opt::kSelectKey: return pcf;
      case opt::kNext: return pcf && entry && ((fr && fr->code == 14) || (ph != 1 && ph != 6));
      case opt::kAddMode:
      case opt::kDeleteMode:
      case opt::kInquireMode:
      case opt::kChangeMode: {
        EmHeader* em = pcb->module.get();
        auto* fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get());
        EmCfi* cfi = fc ? fc->cfi.get() : nullptr;
        bool ok = pcf && entry && cfi && cfi->fdb.org != 0;
        if (ok && o == opt::kAddMode) ok = em->flags106[0] == 1;
        if (ok && o == opt::kDeleteMode) ok = em->flags106[1] == 1 && cfi->fdb.access != 1;
        if (ok && o == opt::kChangeMode) ok = em->flags106[2] == 1;
        return ok;
      }
      case opt::kEntryAttrs: return 1;
      case opt::kDeleteAck: return ph == 2;
      default:
        if (o >= opt::kTop && o <= opt::kLineUp) return fr && fr->scroll != 0 && ph != 1;
        return 0;
    }
  }
  // Numbered options: the image's own statements decide, or a child of the
  // image must be there for the level.
  if (ci && (has_ep(ci->eps[2]) || has_ep(ci->eps[3]) || has_ep(ci->eps[0]))) return 1;
  if (fr && has_ep(fr->eps[3])) return 1;
  EmCchld* ch = option_child(pcb, uint32_t(img), o);
  if (!ch) return 0;
  const int lv = level(pcb);
  return ch->display <= lv || (lv == 0 && phase(pcb) != 6);
}

// A key the screen does not take says so: "Option is not available now".
int verify_opt(Pcb* pcb, int img) {
  if (option(pcb) == opt::kNone) return 0;
  if (option_ok(pcb, img)) return 1;
  fp_msg(pcb, 300590);
  return 0;
}

// ----------------------------------------------------------- show_scr --
namespace {
// The process whose screen waits in wm_show (the innermost), for a resize
// during the wait.
Pcb* g_waiting = nullptr;
struct Waiting {
  Pcb* before;
  explicit Waiting(Pcb* pcb) : before(g_waiting) { g_waiting = pcb; }
  ~Waiting() { g_waiting = before; }
};
}  // namespace

void fp_resized() {
  if (g_waiting) pi_upd_stat(g_waiting);
}

void show_scr(Pcb* pcb, int img, bool wait, FmArb* msgs) {
  PdStatus* st = status(pcb);
  EmCimg* ci = fp_image(pcb, uint32_t(img));
  WmShow* sb = pcb->show.get();
  const WmHandle region = region_of(pcb);
  pcb->run.shown = region;
  bool first = true;
  for (;;) {
    if (!(first && option(pcb) != opt::kNone)) {
      // Shown again: with the values the event points left.
      if (!first) dspl_itm(pcb, img);
      pi_upd_stat(pcb);
      FmArb* dspl = show_msgs(pcb);
      empty_msgs(dspl, "can't empty dspl_msg");
      int top = 0;
      if (msgs && msgs != cur_msgs(pcb)) copy_msgs(msgs, dspl, &top, "can't add caller");
      copy_msgs(cur_msgs(pcb), dspl, &top, "can't add message");
      sb->flags = uint8_t(wmshow::kCopyBack | wmshow::kDraw | (wait ? wmshow::kWait : 0) |
                          (top != 0 ? wmshow::kAlert : 0) | (sb->flags & wmshow::kAlert));
      sb->curs_req = uint8_t(pcb->run.curs_req.get());
      sb->region = pcb->run.curs_req ? region : 0;
      sb->req_row = pcb->run.req_row.get();
      sb->req_col = pcb->run.req_col.get();
      Waiting waiting(pcb);
      if (!wm_show(sb, dspl ? arena::offset_of(dspl) : 0)) {
        sys_err(__LINE__, "exec_img() - wm_show failed");
        ut_unwind(4);
      }
      sb->flags = uint8_t(sb->flags & ~(wmshow::kCopyBack | wmshow::kAlert));
      // Each message shows once: what the event points below add shows
      // with the next wait.
      empty_msgs(cur_msgs(pcb), "can't clear cur msg");
      msgs = nullptr;
      pcb->run.curs_req = 0;
      set_option(pcb, wait ? int(sb->option) : int(opt::kNext));
      pcb->run.curs_row = sb->row.get();
      pcb->run.curs_col = sb->col.get();
      if (st) {
        st->cursor_row = sb->row.get();
        st->cursor_col = sb->col.get();
      }
      if (region && sb->cur_region == region && sb->fld_row) curs_to_itm_pos(pcb, img);
      else fp_set_cur_item(pcb, 0);
    }
    first = false;
    // Post Display and Option Intercept may change the option or add
    // messages; either shows the screen again.
    int before = msg_count(cur_msgs(pcb));
    if (ci) fp_img_ep(pcb, ci, 43);
    if (EmCfrm* fr = cur_frame(pcb)) fp_frm_ep(pcb, fr, 24);
    if (msg_count(cur_msgs(pcb)) > before) continue;
    if (!verify_opt(pcb, img)) {
      keep_typed_unless_code(pcb, uint32_t(img));
      continue;
    }
    return;
  }
}

// ----------------------------------------------------------- exec_img --
int exec_img(Pcb* pcb) {
  EmCfrm* fr = cur_frame(pcb);
  PcbFrameEnt* fe = cur_frame_ent(pcb);
  PdStatus* st = status(pcb);
  PdArea3* a3 = steer(pcb);
  if (!fr || !fe) return kFpDone;
  // 1, 2
  if (st) st->mode_text.set(level(pcb) != 0 ? "DATA ENTRY" : "MENU ENTRY");
  set_option(pcb, opt::kNone);
  fp_frm_ep(pcb, fr, 22);
  if (a3 && a3->alt_image == 0 && fr->mode != 1) return kFpSkipped;
  // 3
  uint32_t img = uint32_t(fp_get_cimg(pcb));
  EmCimg* ci = fp_image(pcb, img);
  if (!ci) {
    sys_err(__LINE__, "fp_get_cimg() - frame has no images");
    ut_unwind(4);
  }
  if (a3 && a3->op_phase == 2 && fp_img_quiet(ci)) return kFpSkipped;
  // 4, 5
  bool reattached = attach(pcb, img);
  PcbImageEnt* ie = image_ent(pcb, img);
  if (ie->reset_sig) {
    reset_itm_sig(pcb, int(img));
    ie->reset_sig = 0;
  }
  prep_itm(pcb, int(img));
  if (ip_scrolling(pcb)) row_cursor(pcb, ci);
  upd_scr(pcb, ie->region, reattached);
  // 6 The last pass's messages stay visible once.
  empty_msgs(prev_msgs(pcb), "can't clear prv msg");
  copy_msgs(cur_msgs(pcb), prev_msgs(pcb), nullptr, "can't add msg_prev");
  empty_msgs(cur_msgs(pcb), "can't clear cur msg");
  // 7 The image loop.
  bool first = true, failed_last = false;
  for (;;) {
    const int ph = phase(pcb), md = mode(pcb);
    if (ph == 2 && fr->interactive) fp_msg(pcb, 300650);
    // The note goes under a later queue key than the pass's other messages,
    // so that a message saying why (a record locked by another user) shows
    // first and the note with the MESSAGE key.
    if (ph == 3 && (md == 2 || md == 4)) {
      FmArb* f = cur_msgs(pcb);
      if (f && fm_is_handle(f) && !la_add_msg(3, f, 300700u, 1u)) sys_err(__LINE__, "can't add message");
    }
    bool dlu_ok = true;
    fp_dlu_exec(pcb, first, &dlu_ok);
    if (first) {
      if (ph != 1 && ph != 6) fp_img_ep(pcb, ci, 41);
      if (fr->interactive && ph != 5) fp_keaterm(pcb, 1);
      fp_img_ep(pcb, ci, 42);
      fp_frm_ep(pcb, fr, 23);
    } else {
      set_option(pcb, opt::kNone);
    }
    first = false;
    dspl_itm(pcb, int(img));
    if (!fr->interactive) return kFpNext;
    if (ph == 5) break;
    show_scr(pcb, int(img), true, prev_msgs(pcb));
    // What was shown is now the previous messages; the current file takes
    // what this pass adds.
    empty_msgs(prev_msgs(pcb), "can't clear prev. msg");
    swap_msgs(pcb);
    fe->level = uint32_t(level(pcb) + 1);
    // 8 Field verification.
    const int o = option(pcb);
    bool keep = false;
    if (ci->first_item && level(pcb) != 0 && (o == opt::kEnter || o <= 255) &&
        (phase(pcb) == 1 || phase(pcb) == 7 || fr->code == 14)) {
      bool pass = true;
      if (any_shown(pcb, ci) || failed_last) pass = strong_edit(pcb);
      bool refresh = false;
      if (pass) {
        bool ok = true;
        refresh = fp_dlu_exec(pcb, false, &ok);
        if (!ok) pass = false;
      }
      clear_shown(pcb, ci);
      if (pass && (fp_img_ep(pcb, ci, 44) || fp_img_ep(pcb, ci, 41))) pass = false;
      int top = 0;
      int fresh = msg_count(cur_msgs(pcb), &top);
      failed_last = !pass;
      if (!pass) {
        // The messages stay for the next pass, which shows the image again.
        empty_msgs(prev_msgs(pcb), "can't clear prev. msg");
        swap_msgs(pcb);
        continue;
      }
      if (fresh && top < 2 && phase(pcb) == 1 && level(pcb) < fp_img_levels(ci)) keep = true;
      if (refresh) {
        WmShow* sb = pcb->show.get();
        uint8_t flags = sb->flags;
        sb->flags = wmshow::kDraw;
        wm_show(sb, 0);
        sb->flags = flags;
        empty_msgs(prev_msgs(pcb), "can't clear prev. msg");
        swap_msgs(pcb);
        continue;
      }
    }
    // Key entry: the typed key into the record, for the executor's read.
    if (ci->first_item && phase(pcb) == 6 && o == opt::kEnter && !key_edit(pcb)) {
      empty_msgs(prev_msgs(pcb), "can't clear prev. msg");
      swap_msgs(pcb);
      continue;
    }
    // 9
    if (keep) {
      empty_msgs(prev_msgs(pcb), "can't empty prev msg file");
      swap_msgs(pcb);
    } else {
      empty_msgs(cur_msgs(pcb), "can't clear cur. msg");
      empty_msgs(prev_msgs(pcb), "can't clear prev. msg");
    }
    // 10
    bool place = false;
    int r = dispatch(pcb, img, &place);
    if (place) pcb->run.curs_req = wmshow::kReqSaved;
    if (r) return r;
  }
  // 8 A scrolling row shown again.
  if (a3 && a3->buffer_scroll == "1") {
    WmShow* sb = pcb->show.get();
    if (sb) {
      sb->flags = wmshow::kDraw;
      wm_show(sb, 0);
    }
  }
  empty_msgs(cur_msgs(pcb), "can't clear cur. msg");
  empty_msgs(prev_msgs(pcb), "can't clear prev. msg");
  return kFpNext;
}
