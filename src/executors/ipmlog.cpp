// The modification log of Input processes: who heads a run's log, its
// start, and its end through "STANDARD MOD LOG" (ipmlog.h).
#include "executors/ipmlog.h"

#include <cstring>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pigetd.h"
#include "process/pipcf.h"
#include "process/pishr.h"

namespace {
constexpr const char* kMod = "IP";

Pcb* caller_of(Pcb* pcb) { return static_cast<Pcb*>(pcb->invoc.parent_pcb.get()); }

// The caller whose log this process writes: an Input process that called
// it as a SUBPROCESS (kind 0); null otherwise.
Pcb* sharing_caller(Pcb* pcb) {
  Pcb* c = caller_of(pcb);
  return c && pcb->invoc.kind == 0 && c->invoc.type == 2 ? c : nullptr;
}

// Forgets the process's log: its own is closed and scratched, a caller's
// is only let go of.
void drop_log(Pcb* pcb) {
  if (ip_log_heads(pcb)) pi_mlog_close(pcb);
  pcb->mod_log.reset();
}

// True when the log holds a record: read from its start through a second
// handle, so that the log's own keeps its buffer and place.
bool has_records(FmArb* log) {
  FmArb* rd = FM_ATTACH(log, nullptr, int(com.depth));
  if (!rd) return false;
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), sizeof(PiModLog)));
  PROTO_FULL(rd, 0, buf);
  rd->op = FM_OP_FIRST;
  fm_start(rd);
  rd->op = 0;
  bool any = fm_rdnxt(rd) != 0;
  fm_detach(rd);
  mm_free(buf);
  return any;
}
}  // namespace

int mod_start(Pcb* pcb) {
  if (ip_log_heads(pcb)) pi_mlog_close(pcb);
  pcb->mod_log.reset();
  return pi_mlog_open(pcb);
}

int pcf_delem(Pcb* pcb) {
  auto* fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get());
  EmCfi* cfi = fc ? fc->cfi.get() : nullptr;
  if (!cfi) {
    os_sys_err_text(kMod, __LINE__, "can't locate pcf cap");
    return 0;
  }
  // The dictionary the log's field lines are converted by (the verbs read
  // it again at each write): the PCF's application, in the running version
  // or "00" for a system application.
  char app[4] = {}, ver[3] = {};
  std::memcpy(app, cfi->fdb.app.data(), 3);
  std::memcpy(ver, IS_ZUB_AP(app) ? "00" : pcb->invoc.ver.data(), 2);
  std::vector<DElem> elems;
  if (!pi_file_elems(app, ver, cfi->fdb.name, &elems) || elems.empty()) {
    os_sys_err_text(kMod, __LINE__, "can't open pcf delem file");
    return 0;
  }
  return 1;
}

bool ip_log_heads(Pcb* pcb) {
  if (!pcb || !pcb->mod_log) return false;
  Pcb* c = sharing_caller(pcb);
  return !c || c->mod_log.get() != pcb->mod_log.get();
}

void ip_log_head(Pcb* pcb, bool may_start) {
  if (!pcb) return;
  // A log left from an earlier run of a reused PCB goes first.
  drop_log(pcb);
  // Only the process's own file is logged.
  auto* fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get());
  if (!fc || !fc->cfi || !pcb->pcf_stream) return;
  char app[4] = {};
  std::memcpy(app, pcb->invoc.app.data(), 3);
  if (app[0] == '0' || !caller_of(pcb)) return;
  if (Pcb* c = sharing_caller(pcb)) {
    if (!c->mod_log || !fm_is_handle(c->mod_log.get())) return;
    pcb->mod_log = c->mod_log;
    if (!pcf_delem(pcb)) pcb->mod_log.reset();
    return;
  }
  PdArea3* a3 = pi_area_rec<PdArea3>(pcb, 3);
  if (!may_start || !a3 || a3->op_phase != 3) return;
  if (mod_start(pcb) && !pcf_delem(pcb)) drop_log(pcb);
}

void ip_log_release(Pcb* pcb) {
  if (pcb && pcb->mod_log && !ip_log_heads(pcb)) pcb->mod_log.reset();
}

void ip_mod_end(Pcb* pcb) {
  if (!ip_log_heads(pcb)) return;
  FmArb* log = pcb->mod_log.get();
  bool any = fm_is_handle(log) && has_records(log);
  if (!any) return;
  PiInvoc v;
  os_invoc_template(&v);
  v.app.set("0LA");
  v.ver.set("00");
  v.type = 3;
  v.name.set("STANDARD MOD LOG");
  v.kind = 0;
  v.surface1 = pcb->surface1;
  v.surface2 = pcb->surface2;
  v.parent_pcb.set(pcb);
  pi_exec(&v);
  // Once: the log goes with its report.
  pi_mlog_close(pcb);
  if (v.completion == 37) ut_unwind(37);
}
