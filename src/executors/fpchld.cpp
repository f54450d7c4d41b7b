// Child invocation: numbered options and automatic children. A child runs
// through the process runner with this PCB as its caller; its completion
// code becomes the caller's reaction (go on, end, fail, log out).
#include "executors/fpchld.h"

#include <cstring>
#include <string>

#include "executors/fp.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pishr.h"
#include "process/services.h"

namespace {

constexpr const char* kMod = "FP";
constexpr uint32_t kRunTimeError = 300540;

PdStatus* status_rec(Pcb* pcb) { return pi_area_rec<PdStatus>(pcb, 7); }

// An event point of the process (c null) or of a child (61, 62).
void ep(Pcb* pcb, int n, const EmCchld* c = nullptr) {
  PiEpArg a{pcb, n, 0};
  a.cchld = c;
  proc_svc.ii_proc_exec(&a);
}

bool is(const rec::Text<4>& id, const char* text) { return std::memcmp(id.data(), text, 4) == 0; }

// INCLUDE CHILDREN '0' skips the next child once: true (and '1' again)
// when it does.
bool skip_once(PdStatus* st) {
  if (!st || st->include_children.data()[0] != '0') return false;
  st->include_children.set("1");
  return true;
}

const EmCchld* child_at(Pcb* pcb, uint32_t seq) {
  EmHeader* em = pcb->module.get();
  PcbChildEnt* t = pcb->child_tbl.get();
  if (!em || !t || seq < 1 || seq > em->n_children) return nullptr;
  return t[seq].cchld.get();
}

// An automatic child of frame fs (the frame's range may hold its images'
// children too); a missing record counts, so that reading it fails.
bool own_child(Pcb* pcb, uint32_t seq, uint32_t fs) {
  const EmCchld* c = child_at(pcb, seq);
  return !c || (c->image_seq == 0 && c->frame_seq == fs);
}

// The message of a child's completion code. A run-time error names the
// error that ended the child, its number and text ("Run-time error 101910:
// Application is not available"), as the engine's start-up failure does:
// "Run-time error" alone tells the user nothing to look for.
void add_completion_msg(FmArb* q, uint32_t code) {
  uint32_t own = code == kRunTimeError ? os_run_error() : 0;
  if (!own) {
    la_add_msg(3, q, code, 0);
    return;
  }
  os_clear_run_error();
  std::string s = std::to_string(own) + ": " + la_text(own);
  LaText t{uint16_t(s.size()), s.data()};
  la_add_msg(4, q, code, 0u, &t);
}

}  // namespace

int invoc_chld(Pcb* pcb, const EmCchld* c) {
  PdStatus* st = status_rec(pcb);
  auto* a3 = pi_area_rec<PdArea3>(pcb, 3);
  auto* a11 = pi_area_rec<PdArea11>(pcb, 11);
  // 1. A child chosen by option asks for its entry level.
  if (c->image_seq != 0 && a11) {
    if (c->display > a11->entry_level || (c->display != 0 && a11->phase == 6)) return 0;
  }
  // 3. The mode handed to the child.
  if (a3 && a11) {
    a3->default_mode = a11->mode;
    if (c->invoc.reserved2 >= 1 && c->invoc.reserved2 <= 254) a3->default_mode = c->invoc.reserved2;
  }
  // 4, 5. Pre-invocation; INCLUDE CHILDREN '0' skips this child.
  ep(pcb, 61, c);
  if (skip_once(st)) return 1;
  // 6. The executor's own check.
  const FpHooks& hooks = fp_hooks(pcb->invoc.type);
  if (hooks.pre_invoc && !hooks.pre_invoc(pcb, c)) return 0;
  if (skip_once(st)) return 1;
  // 7. The invocation: a SUBPROCESS shares the caller's surfaces.
  PiInvoc v = c->invoc;
  if (v.kind != 0 || v.independent) {
    v.surface1 = 0;
    v.surface2 = 0;
  } else {
    v.surface1 = pcb->surface1;
    v.surface2 = pcb->surface2;
  }
  v.auto_mode = 0;
  v.parent_pcb.set(pcb);
  v.completion = 0;
  if (st) st->next_child.clear();
  // 8. A child without a process completes with 2.
  if (v.type == 255 && v.app.blank() && v.name.blank()) v.completion = 2;
  else pi_exec(&v);
  // 9. The caller's reaction.
  int code = v.completion;
  switch (code) {
    case 0: case 1: case 2: case 5: case 19: case 34:
      break;
    case 3:
      ut_unwind(pcb->invoc.kind != 0 ? 2 : 3);
    case 4:
      switch (c->invoc.child_fail_mode) {
        case 0: case 1: break;
        case 2: ut_unwind(2);
        case 3: ut_unwind(4);
        default: os_sys_err_text(kMod, __LINE__, "fp, invoc_chld entered default in switch");
      }
      break;
    case 24: case 25:
      ut_unwind(code);
    case 37:
      was_chld_corrupt(&v, pcb);
      break;
    default:
      if (FmArb* q = pcb->msg_file.get()) add_completion_msg(q, uint32_t(code));
  }
  // 10. Where the automatic children go next.
  if (st && st->next_child.blank()) st->next_child.set(code == 5 ? "-   " : "+   ");
  // 11-13.
  if (hooks.post_invoc) hooks.post_invoc(pcb, c);
  fp_keaterm(pcb, 2);
  ep(pcb, 62, c);
  // 14. The caller ends after this child.
  if (c->invoc.caller_mode == 3) ut_unwind(2);
  return 1;
}

int invoc_auto_chld(Pcb* pcb) {
  EmHeader* em = pcb->module.get();
  PcbFrameEnt* ft = pcb->frame_tbl.get();
  uint32_t fs = pcb->run.frame;
  EmCfrm* fr = em && ft && fs >= 1 && fs <= em->n_frames ? ft[fs].cfrm.get() : nullptr;
  if (!fr) return kFpDone;
  PdStatus* st = status_rec(pcb);
  ep(pcb, 11);
  uint32_t first = fr->first_chld, last = fr->last_chld;
  if (first == 0) {
    // No automatic children: the walk ends at once, and a child named by
    // its id does not exist.
    bool back = st && is(st->next_child, "-   ");
    if (skip_once(st)) return back ? kFpBack : kFpDone;
    if (!st || st->next_child.blank() || is(st->next_child, "+   ")) return kFpDone;
    if (back) return kFpBack;
    dsgn_err(pcb, 100830);
  }
  uint32_t pos = st && is(st->next_child, "-   ") ? last + 1 : first - 1;
  for (;;) {
    bool back = st && is(st->next_child, "-   ");
    if (skip_once(st)) return back ? kFpBack : kFpDone;
    if (!st || st->next_child.blank() || is(st->next_child, "+   ")) {
      do {
        if (pos >= last) return kFpDone;
        ++pos;
      } while (!own_child(pcb, pos, fs));
    } else if (back) {
      do {
        if (pos <= first) return kFpBack;
        --pos;
      } while (!own_child(pcb, pos, fs));
    } else {
      // A child named by its id among the frame's own.
      uint32_t found = 0;
      for (uint32_t s = first; s <= last && !found; ++s) {
        const EmCchld* c = child_at(pcb, s);
        if (c && own_child(pcb, s, fs) &&
            std::memcmp(c->invoc.reserved_text.data(), st->next_child.data(), 4) == 0)
          found = s;
      }
      if (!found) dsgn_err(pcb, 100830);
      pos = found;
    }
    const EmCchld* c = child_at(pcb, pos);
    if (!c) dsgn_err(pcb, 100830);
    if (!invoc_chld(pcb, c)) return int(pcb->invoc.completion);
  }
}

int was_chld_corrupt(PiInvoc* invoc, Pcb* pcb) {
  if (!invoc || invoc->completion != 37) return 0;
  int type = pcb ? int(pcb->invoc.type) : 0;
  if (type != 1 && type != 2 && type != 9) ut_unwind(37);
  if (FmArb* q = pcb->msg_file.get()) la_add_msg(3, q, uint32_t(200860), 0);
  ss_reset_sig_handler();
  return 1;
}
