// The frame processor: fp_exec (one frame with its automatic children, the
// frames chained after it and an Input process's final write), the hook
// table, the design-error display, FP_UPD_CHR and engine start.
#include "executors/fp.h"
#include "executors/ipscrl.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "executors/fpchld.h"
#include "executors/fpitm.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "language/ii.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/pipcf.h"
#include "process/pishr.h"
#include "process/services.h"
#include "screen/wm.h"

namespace {

constexpr const char* kMod = "FP";

FpHooks g_hooks[11];
const FpHooks kNone{};

PdArea3* steer(Pcb* pcb) { return pi_area_rec<PdArea3>(pcb, 3); }
PdArea11* phase_rec(Pcb* pcb) { return pi_area_rec<PdArea11>(pcb, 11); }
int phase(Pcb* pcb) {
  PdArea11* a = phase_rec(pcb);
  return a ? int(a->phase) : 0;
}

PcbFrameEnt* frame_ent(Pcb* pcb, uint32_t seq) {
  EmHeader* em = pcb->module.get();
  PcbFrameEnt* t = pcb->frame_tbl.get();
  if (!em || !t || seq == 0 || seq > em->n_frames) return nullptr;
  return &t[seq];
}

// The PCF's compiled entry and record, and whether the record equals the
// copy saved when it was read.
bool pcf_unchanged(Pcb* pcb) {
  auto* fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get());
  EmCfi* cfi = fc ? fc->cfi.get() : nullptr;
  FmArb* h = pcb->pcf_stream.get();
  const uint8_t* rec = h ? h->rec.get() : nullptr;
  const uint8_t* saved = pcb->pcf_buf1.get();
  size_t len = cfi ? size_t(cfi->fdb.rec_len) : 0;
  return rec && saved && len && std::memcmp(rec, saved, len) == 0;
}

// The PCF stream's status as a message of the current message file.
void status_msg(Pcb* pcb) {
  FmArb* h = pcb->pcf_stream.get();
  uint32_t st = h ? uint32_t(h->status) : 0;
  if (st) fp_msg(pcb, st);
}

// A frame backs out of a final write that failed where no one can mend the
// record: the file's message, and the automatic children walk back, so the
// frame chained before this one backs out too instead of passing on to it
// again at once.
int back_out_of_write(Pcb* pcb) {
  status_msg(pcb);
  if (auto* st = pi_area_rec<PdStatus>(pcb, kPcbStatusArea)) st->next_child.set("-   ");
  return kFpBack;
}

// Runs the automatic children of the frame: 22, 5 (a non-interactive
// frame's 32 counts as 5), or another result (an error).
int auto_children(Pcb* pcb, const EmCfrm* fr) {
  int c = invoc_auto_chld(pcb);
  if (!fr->interactive && c == 32) c = kFpBack;
  return c;
}

// Whether the invocation lets the process back out of its first frame.
bool may_back_out_first(Pcb* pcb) { return pcb->invoc.query_edit_mode == '1'; }

}  // namespace

void fp_set_hooks(int proc_type, const FpHooks& hooks) {
  if (proc_type >= 1 && proc_type <= 10) g_hooks[proc_type] = hooks;
}

const FpHooks& fp_hooks(int proc_type) {
  return proc_type >= 1 && proc_type <= 10 ? g_hooks[proc_type] : kNone;
}

// ------------------------------------------------------------ records --
EmCfrm* fp_frame(Pcb* pcb, uint32_t seq) {
  PcbFrameEnt* e = pcb ? frame_ent(pcb, seq) : nullptr;
  return e ? e->cfrm.get() : nullptr;
}

EmCimg* fp_image(Pcb* pcb, uint32_t seq) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  PcbImageEnt* t = pcb ? pcb->image_tbl.get() : nullptr;
  if (!em || !t || seq == 0 || seq > em->n_images) return nullptr;
  return t[seq].cimg.get();
}

bool fp_frm_quiet(const EmCfrm* f) { return f && f->flag85[0] == 1; }
bool fp_img_quiet(const EmCimg* i) { return i && i->flag67[0] == 1; }
bool fp_img_first_srf(const EmCimg* i) { return i && i->flag69 == 1; }
int fp_img_wnd_kind(const EmCimg* i) { return i ? int(i->b96) : 0; }
int fp_img_levels(const EmCimg* i) { return i ? int(i->display) : 0; }

bool fp_has_pcf(Pcb* pcb) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  return em && !em->pcf_name.blank();
}

bool fp_record_entry(Pcb* pcb) {
  if (!fp_has_pcf(pcb)) return false;
  auto* fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get());
  EmCfi* cfi = fc ? fc->cfi.get() : nullptr;
  if (cfi && cfi->fdb.access == 1) return false;
  EmHeader* em = pcb->module.get();
  for (uint32_t f = 1; f <= em->n_frames; ++f)
    if (EmCfrm* fr = fp_frame(pcb, f); fr && fr->interactive) return true;
  return false;
}

bool is_output_frame(Pcb* pcb, const EmCfrm* frame) {
  int type = pcb ? int(pcb->invoc.type) : 0;
  return type == 3 || (type == 9 && !(frame && frame->code == 14));
}

void fp_msg(Pcb* pcb, uint32_t number) {
  FmArb* f = pcb ? pcb->msg_file.get() : nullptr;
  if (f && fm_is_handle(f) && !la_add_msg(3, f, number, 0u)) os_sys_err_text(kMod, __LINE__, "can't add message");
}

int fp_frm_ep(Pcb* pcb, const EmCfrm* frame, int ep) {
  IlfExecBlock b;
  II_EXEC_FRM(pcb, reinterpret_cast<const uint8_t*>(frame), ep, &b);
  return int(b.errors);
}

int fp_img_ep(Pcb* pcb, const EmCimg* image, int ep) {
  IlfExecBlock b;
  // Code 45 is the image's generated total statements, kept apart from its
  // event points (its totals entry).
  if (ep == 45) II_EXEC_MISC(pcb, ep, &b, image ? image->tot_ep.get() : 0xFFFFu);
  else II_EXEC_IMG(pcb, reinterpret_cast<const uint8_t*>(image), ep, &b);
  return int(b.errors);
}

// ------------------------------------------------------- final write --
int fp_final_write(Pcb* pcb) {
  PdArea11* a = phase_rec(pcb);
  if (!a) return 1;
  if (a->phase == 1) {
    if (!pi_write(pcb)) return 0;
    a->phase = 7;
    return 1;
  }
  if (a->phase == 7 && !pcf_unchanged(pcb)) return pi_rewrite(pcb);
  return 1;
}

// ------------------------------------------------------------ fp_exec --
int fp_exec(Pcb* pcb, uint32_t frame) {
  EmCfrm* fr = fp_frame(pcb, frame);
  PcbFrameEnt* fe = frame_ent(pcb, frame);
  if (!fr || !fe) {
    os_sys_err_text(kMod, __LINE__, "fp_exec() - no such frame");
    return kFpDone;
  }
  const int type = pcb->invoc.type;
  // The first frame of a run: the process's show block, in its own scope.
  if (!pcb->run.frame) {
    MmPool pool = mm_create_pool(" FPPOOL    ", pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth), 0);
    auto* sb = static_cast<WmShow*>(MM_ALLOC(pool, sizeof(WmShow)));
    std::memset(static_cast<void*>(sb), 0, sizeof *sb);
    pcb->show.set(sb);
  }
  // 1. The frame is current; no cursor placement is pending.
  pcb->run.frame = frame;
  pcb->run.curs_req = 0;
  pcb->run.req_row = 0;
  pcb->run.req_col = 0;
  PdArea3* a3 = steer(pcb);
  PdArea11* a11 = phase_rec(pcb);

  // 2. Without display: the automatic children, then the next frame or,
  // for the last frame of an Input process with a PCF, its record.
  if (fp_frm_quiet(fr) && a3 && a3->op_phase == 2) {
    int r = invoc_auto_chld(pcb);
    if (r != kFpDone) return r;
    if (fr->next) return fp_exec(pcb, fr->next);
    if (type != 2 || !fp_has_pcf(pcb)) return kFpDone;
    if (fp_final_write(pcb)) return kFpDone;
    return back_out_of_write(pcb);
  }

  // 3. Interactive path.
  int prev = kFpDone;  // the remembered previous result
  for (;;) {
    bool error = false;
    int r = kFpDone;
    // 3.1 The frame's saved level; every image's items afresh.
    if (a11) a11->entry_level = uint8_t(fe->level);
    for (uint32_t i = fr->first_img; i && i <= fr->last_img; ++i)
      if (PcbImageEnt* t = pcb->image_tbl.get(); t && fp_image(pcb, i)) t[i].reset_sig = 1;
    // 3.2, 3.3
    fp_frm_ep(pcb, fr, 21);
    if (auto sof = fp_hooks(type).sof) sof(pcb);
    // 3.4 The image, as long as it asks to run again.
    bool unseen = true;  // no image of this pass waited for a person
    if (type == 1 || type == 2 || type == 3 || type == 9) {
      if (fr->first_img) {
        auto run_img = [&]() -> int {
          if (type == 1 || type == 2 || fr->code == 14) return exec_img(pcb);
          if (auto img = fp_hooks(type).img_exec) return img(pcb);
          os_sys_err_text(kMod, __LINE__, "fp_exec() - report frames are not run yet");
          ut_unwind(4);
        };
        r = run_img();
        while (r == kFpAgain) {
          r = run_img();
          prev = r;
        }
        unseen = r == kFpSkipped;
      }
      pcb->invoc.completion = r;
    } else if (type < 1 || type > 10) {
      os_sys_err_text(kMod, __LINE__, "fp, fp_exec entered default in switch");
      ut_unwind(4);
    }
    // 3.5 End of frame.
    if (type == 2) {
      if (auto eof = fp_hooks(type).eof) r = eof(pcb);
    } else if (type == 3 || type == 9) {
      if (auto eof = fp_hooks(type).eof) r = eof(pcb);
      if (fr->code != 14) r = kFpDone;
    } else if (type != 1) {
      r = kFpDone;
    }
    // 3.6, 3.7
    fp_frm_ep(pcb, fr, 25);
    if (r == kFpSkipped) {
      r = prev == kFpBack ? kFpBack : kFpDone;
      pcb->invoc.completion = r;
    }
    // 3.8, 3.9
    if (r != kFpDone) return r;
    int ph = phase(pcb);
    if (fr->interactive && ph != 1 && ph != 7 && ph != 3) return kFpDone;
    // 3.10 Automatic children.
    bool back = false;
    int c = auto_children(pcb, fr);
    if (c == kFpBack) back = true;
    else if (c != kFpDone) {
      r = c;
      error = true;
    }
    // 3.11 The frames chained after this one, then the final write.
    if (!back && !error) {
      bool passed = false;
      while (fr->next) {
        int n = fp_exec(pcb, fr->next);
        pcb->run.frame = frame;
        if (n != kFpBack) {
          r = n;
          passed = true;
          break;
        }
        c = auto_children(pcb, fr);
        if (c == kFpBack) {
          back = true;
          break;
        }
        if (c != kFpDone) {
          r = c;
          error = true;
          break;
        }
      }
      if (!passed && !back && !error) {
        r = kFpDone;
        if (type == 2 && fp_has_pcf(pcb) && !fp_final_write(pcb)) {
          // A frame nobody looks at (not interactive, or its image skipped
          // this pass) cannot have its record mended: it backs out with the
          // message rather than writing again forever.
          if (!fr->interactive || unseen) return back_out_of_write(pcb);
          if (pcb->invoc.completion == kPiRsFile) status_msg(pcb);
          r = pcb->invoc.completion;
          error = true;
        }
      }
    }
    // 3.12 Back out.
    if (back) {
      if (fe->level) fe->level = fe->level - 1;
      r = kFpBack;
    }
    // 3.13
    if (r == kFpBack && !fr->interactive && !(frame == 1 && !may_back_out_first(pcb))) return r;
    // 3.14
    prev = r;
    if (r == kFpBack) continue;
    if (!error) return r;
  }
}

// ------------------------------------------------------------ regions --
void fp_release_regions(Pcb* pcb) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  if (!em) return;
  // The windows of an Input process are those of its WCB records.
  if (pcb->invoc.type == 2) {
    ip_wnd_cleanup(pcb);
    return;
  }
  if (PcbImageEnt* t = pcb->image_tbl.get())
    for (uint32_t i = 1; i <= em->n_images; ++i)
      if (t[i].region) {
        if (!wm_detach(t[i].region, 1)) os_sys_err_text(kMod, __LINE__, "wm_detach failed");
        t[i].region = 0;
      }
  if (PcbFrameEnt* f = pcb->frame_tbl.get())
    for (uint32_t i = 1; i <= em->n_frames; ++i) f[i].image = 0;
}

// ---------------------------------------------------------- dsgn_err --
void dsgn_err(Pcb* pcb, uint32_t message) {
  char buf[512];
  LaText t{uint16_t(sizeof buf), buf};
  int sev = 0;
  size_t len = ut_buflen(buf, size_t(la_xlate(message, &t, &sev)));
  std::string text;
  // The process as the engine names it elsewhere: application, version,
  // type and name, then the message.
  if (pcb) {
    std::string name(pcb->invoc.name.data(), 30);
    name.erase(name.find_last_not_of(' ') + 1);
    text = std::string(pcb->invoc.app.data(), 3) + " " + std::string(pcb->invoc.ver.data(), 2) + " " +
           os_type_name(pcb->invoc.type) + " \"" + name + "\": ";
  }
  text.append(buf, len);
  ErrDisplay e;
  std::memset(static_cast<void*>(&e), ' ', sizeof e);
  e.msg_flag = 255;
  e.msg_text.set(std::string_view(text).substr(0, sizeof e.msg_text));
  proc_svc.rt_err(pcb, &e);
  if (pcb) pcb->invoc.completion = 4;
  ut_unwind(4);
}

// -------------------------------------------------------- FP_UPD_CHR --
int32_t fp_upd_chr(const uint32_t* args) {
  if (!args || args[0] < 2) return 0;
  auto* pcb = static_cast<Pcb*>(arena::at(args[1]));
  const auto* w = static_cast<const uint32_t*>(arena::at(args[2]));
  if (!pcb || !w) return 0;
  rec::U32* reg = fp_get_reg(pcb, 0);
  if (!reg || !*reg) return 0;
  WmChr c;
  std::memset(static_cast<void*>(&c), 0, sizeof c);
  c.attr = w[0];
  c.row = int32_t(w[1]);
  c.col = int32_t(w[2]);
  c.rows = int32_t(w[3]);
  c.cols = int32_t(w[4]);
  // The display bits change; whether the cells take input stays the
  // items' own.
  const uint32_t keep = wa::kInput | wa::kInput2 | wa::kTarget1 | wa::kTarget2 | wa::kInputExtra | wa::kData;
  if (!wm_upd_chr(reg->get(), &c, ~keep)) return 0;
  return 1;
}

// ------------------------------------------------------ engine start --
int fp_init() { return fp_bltin_init(); }

void fp_register() {
  os_set_init(OsInit::Fp, [] {
    proc_svc.fp_get_reg = fp_get_reg;
    wm_set_resized(fp_resized);
    return fp_init();
  });
  static bool registered = false;
  if (!registered) ii_register_ifn("FP_UPD_CHR", fp_upd_chr);
  registered = true;
}
