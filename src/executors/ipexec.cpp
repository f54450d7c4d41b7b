// The input executor's run of an Input process with a file of its own (its
// PCF): the start mode, then the loop of record entry through the frame
// processor, each new record written by its final write (pi_write) and
// numbered by find_nxt_sno. This far the process runs in Add mode; a
// process whose start mode is another one, and processes without a file,
// still run on the frame processor's interim executor.
#include <cstdio>
#include <cstring>
#include <vector>

#include "executors/fp.h"
#include "executors/ip.h"
#include "executors/ipscrl.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pc.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pipcf.h"
#include "process/pishr.h"
#include "process/services.h"

namespace {
constexpr const char* kMod = "IP";
constexpr uint32_t kMsgNoSeqNo = 300540;  // no next sequence number

EmCfi* pcf_cfi(Pcb* pcb) {
  auto* fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get());
  return fc ? fc->cfi.get() : nullptr;
}

// The record area of the PCF and its length (null when there is none).
uint8_t* pcf_rec(Pcb* pcb, size_t* len) {
  FmArb* h = pcb->pcf_stream.get();
  EmCfi* cfi = pcf_cfi(pcb);
  *len = cfi ? size_t(cfi->fdb.rec_len) : 0;
  return h && *len ? h->rec.get() : nullptr;
}

// The facts the start mode and the mode keys depend on.
IpModeFacts mode_facts(Pcb* pcb) {
  EmHeader* em = pcb->module.get();
  IpModeFacts f;
  f.add = em->flags106[0] == 1;
  f.del = em->flags106[1] == 1;
  f.chg = em->flags106[2] == 1;
  f.add_sec = pi_chk_secr(em->secr2, pcb) != 0;
  f.del_sec = pi_chk_secr(em->secr3, pcb) != 0;
  f.chg_sec = pi_chk_secr(em->secr4, pcb) != 0;
  if (EmCfi* cfi = pcf_cfi(pcb)) {
    f.access = cfi->fdb.access == 1 ? 1 : 3;
    f.variable = cfi->fdb.var != 0;
  }
  return f;
}

// A fresh record for Add: the record area as the process started, event
// point 02 (Set Default Values), the caller's key constraints, the next
// sequence number (300540 when there is none).
void fresh_record(Pcb* pcb, const std::vector<uint8_t>& defaults) {
  size_t len = 0;
  uint8_t* rec = pcf_rec(pcb, &len);
  if (rec && defaults.size() == len) std::memcpy(rec, defaults.data(), len);
  PiEpArg a{pcb, 2, 0};
  proc_svc.ii_proc_exec(&a);
  if (rec) pi_set_cns(pcb, rec, len);
  if (!find_nxt_sno(pcb, true)) fp_msg(pcb, kMsgNoSeqNo);
}
}  // namespace

// ------------------------------------------------------- find_nxt_sno --
int find_nxt_sno(Pcb* pcb, bool search) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  FmArb* h = pcb ? pcb->pcf_stream.get() : nullptr;
  auto* fc = pcb ? static_cast<PiFileCtl*>(pcb->pcf_entry.get()) : nullptr;
  if (!em || !h || !fc || !fc->handle) return 1;
  const PcSeqFld& s = pc_pcf_cmpl(em).seq;
  if (s.type == 0) return 1;
  size_t len = 0;
  uint8_t* rec = pcf_rec(pcb, &len);
  // The module is read from the data directory: a field outside the record
  // is refused, never written.
  if (!rec || size_t(s.offset) + s.size > len || s.size == 0) {
    os_sys_err_text(kMod, __LINE__, "find_nxt_sno() - sequence field outside the record");
    return 0;
  }
  uint8_t* field = rec + s.offset;
  if (search) {
    // The key group: the other segments of the sequence key. The number
    // goes on from the highest one of the records whose other segments are
    // those of the record being added, none when there is no such record.
    // Record buffers of the engine's arena, as every handle's must be: the
    // record read, then a PK record.
    MmPool pool = mm_create_pool(" IPPOOL    ", pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth), 0);
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, len + sizeof(EmPk)));
    std::vector<std::pair<uint16_t, uint16_t>> group;
    if (FmArb* pk = em->pk.get(); pk && buf) {
      auto* p = reinterpret_cast<EmPk*>(buf + len);
      PROTO_FULL(pk, 0, reinterpret_cast<uint8_t*>(p));
      pk->op = FM_OP_FIRST;
      fm_start(pk);
      pk->op = 0;
      while (fm_rdnxt(pk))
        if (p->key_no == s.key_no && p->offset != s.offset && size_t(p->offset) + p->length <= len)
          group.emplace_back(p->offset, p->length);
    }
    FmArb* st = buf ? FM_ATTACH(fc->handle.get(), nullptr, int(com.depth)) : nullptr;
    if (!st) {
      if (buf) mm_free(buf);
      std::snprintf(ut_dbg, sizeof ut_dbg, "Bad arb attach (%u)", uint32_t(fc->handle->status));
      os_sys_err_text(kMod, __LINE__, ut_dbg);
      return 0;
    }
    // Zero, so that the first number of a group is the increment.
    if (s.type == 5) {
      std::memset(field, 0, s.size);
    } else {
      int n = s.type == 12 ? 8 : s.size;  // a type 12 value keeps its scale byte
      std::memset(field, 0, size_t(n));
      field[n - 1] = 0x0C;
    }
    PROTO_FULL(st, s.key_no, buf);
    st->op = FM_OP_FIRST;
    fm_start(st);
    st->op = 0;
    while (fm_rdnxt(st)) {
      bool same = true;
      for (auto [off, n] : group) same = same && std::memcmp(buf + off, rec + off, n) == 0;
      if (same) std::memcpy(field, buf + s.offset, s.size);
    }
    fm_detach(st);
    mm_free(buf);
  }
  return ip_sno_add(field, s.type, s.size, s.is_signed != 0, s.digits, s.increment);
}

// ------------------------------------------------------------ ip_exec --
void ip_exec(Pcb* pcb) {
  if (!fp_has_pcf(pcb)) {
    fp_ip_exec(pcb);
    return;
  }
  PdArea3* a3 = pi_area_rec<PdArea3>(pcb, 3);
  PdArea11* a11 = pi_area_rec<PdArea11>(pcb, 11);
  EmCfi* cfi = pcf_cfi(pcb);
  if (!a11 || !cfi) {
    os_sys_err_text(kMod, __LINE__, "ip_exec() - no mode block or PCF");
    ut_unwind(4);
  }
  // init_mode: the start mode, corrected by what the process may do.
  int mode = a3 && a3->default_mode ? int(a3->default_mode) : 1;
  if (cfi->fdb.org != 0) mode = ip_correct_mode(mode, mode_facts(pcb));
  // A process whose first frame scrolls runs its list (ipscrl.cpp).
  if (ip_scroll_frame(pcb) == 1 && mode != 1) {
    ip_scrl_exec(pcb, mode);
    return;
  }
  if (mode != 1 || !fp_record_entry(pcb)) {
    os_sys_err_text(kMod, __LINE__, "ip_exec() - only Add mode runs yet");
    ut_unwind(4);
  }
  a11->mode = 1;
  a11->phase = 1;
  // The record area as the process started: every new record begins so.
  size_t len = 0;
  uint8_t* rec = pcf_rec(pcb, &len);
  std::vector<uint8_t> defaults(rec ? rec : nullptr, rec ? rec + len : nullptr);
  EmHeader* em = pcb->module.get();
  for (;;) {
    // Every frame shows its images afresh, from the first level.
    if (PcbFrameEnt* ft = pcb->frame_tbl.get())
      for (uint32_t f = 1; f <= em->n_frames; ++f) ft[f].image = 0;
    if (PcbFrameEnt* ft = pcb->frame_tbl.get(); ft && fp_frame(pcb, 1))
      ft[1].level = fp_img_levels(fp_image(pcb, fp_frame(pcb, 1)->first_img)) != 0 ? 1 : 0;
    if (a11->phase == 1) {
      if (FmArb* h = pcb->pcf_stream.get()) fm_release(h);
      fresh_record(pcb, defaults);
    }
    int r = fp_exec(pcb, 1);
    switch (r) {
      case kFpBack:
        ut_unwind(kFpBack);
      case kFpDone:
      case kFpScanChose:
      case kFpAdd:
        // The record was written (phase 7 now): the next one is added.
        a11->mode = 1;
        a11->phase = 1;
        break;
      default: {
        char text[64];
        std::snprintf(text, sizeof text, "ip_exec - unexpected fp_exec status : %d", r);
        os_sys_err_text(kMod, __LINE__, text);
        ut_unwind(4);
      }
    }
  }
}
