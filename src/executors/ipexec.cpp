// The input executor's run of an Input process: the start mode (init_mode),
// then the loop of record entry through the frame processor. Add mode
// writes new records (numbered by find_nxt_sno); key entry (phase 6) reads
// the record the typed key names for Change, Delete or Inquire; ENTER
// after a record goes on to the next one; the mode keys switch modes; a
// delete is confirmed by DELETE. Records move only through the PCF verbs.
// A record another user (or another part of this process) holds is shown
// for inquiry with the lock's message; a key that names no record stays as
// typed with its message. A process whose first frame scrolls runs the
// same loop over the rows of its list.
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "executors/fp.h"
#include "executors/ip.h"
#include "executors/ipmlog.h"
#include "executors/ipscrl.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
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

constexpr uint32_t kMsgEof = 300670;     // reading past the last record
constexpr uint32_t kStQueryRec = 200350;  // a record already supplied
constexpr uint32_t kStEof = 200360, kStNotPositioned = 200540;

bool locked(uint32_t st) { return st == FM_ST_HELD_SELF || st == FM_ST_LOCKED; }

// An event point of the process, or of a child (61, 62).
void run_ep(Pcb* pcb, int n, const EmCchld* c = nullptr) {
  PiEpArg a{pcb, n, 0};
  a.cchld = c;
  proc_svc.ii_proc_exec(&a);
}

uint32_t pcf_status(Pcb* pcb) {
  FmArb* h = pcb->pcf_stream.get();
  return h ? uint32_t(h->status) : 0;
}

// A failed verb's message: the file's status when the file operation
// failed (an event point that failed gave its own).
void verb_msg(Pcb* pcb) {
  if (pcb->invoc.completion == kPiRsFile && pcf_status(pcb)) fp_msg(pcb, pcf_status(pcb));
}

// The run state of ip_exec.
struct Ip {
  Pcb* pcb;
  PdArea3* a3;
  PdArea11* a11;
  EmCfi* cfi;                     // null without a PCF
  std::vector<uint8_t> defaults;  // the record area as a new record starts
  bool keep = false;              // the record area stays as it is (a key that found nothing)

  int mode() const { return a11->mode; }
  void set(int mode, int phase) {
    a11->mode = uint8_t(mode);
    a11->phase = uint8_t(phase);
  }
};

// AUTO READNEXT's character, blank when unset.
char arn(const Ip& ip) {
  char c = ip.a3 ? char(ip.a3->auto_readnext[0]) : ' ';
  return c == '\0' ? ' ' : c;
}

// Step 3 of the loop: the record area for a new record or for key entry.
void fresh_record(Ip& ip) {
  Pcb* pcb = ip.pcb;
  if (FmArb* h = pcb->pcf_stream.get()) fm_release(h);
  size_t len = 0;
  uint8_t* rec = pcf_rec(pcb, &len);
  if (ip.a11->file_status == kStQueryRec) {
    // A record already supplied: shown as it is.
  } else if (!ip.keep) {
    if (rec && ip.defaults.size() == len) std::memcpy(rec, ip.defaults.data(), len);
    run_ep(pcb, 2);
  }
  ip.keep = false;
  if (rec) {
    pi_set_cns(pcb, rec, len);
    if (ip.defaults.size() == len) pi_set_cns(pcb, ip.defaults.data(), len);
  }
  if (ip.a11->phase == 1 && !find_nxt_sno(pcb, true)) fp_msg(pcb, kMsgNoSeqNo);
}

// The key descriptor of the stream's key.
const FmKdb* stream_key(FmArb* h) {
  const FmFile* f = h ? h->file.get() : nullptr;
  if (!f || !f->kdb) return nullptr;
  const FmKdb* k = f->kdb.get();
  for (int i = 0; i < int(f->fdb.key_count); ++i)
    if (k[i].key_no == h->key_no) return &k[i];
  return nullptr;
}

// The read of key entry. EXACT KEY REQUIRED '1' reads the exact key; on a
// keyed file opened for writing, a key whose segments all hold their empty
// values reads the first record, and one entered only in its leading
// segments reads the first record that begins with them. 1 read, 0 not.
int key_read(Ip& ip) {
  Pcb* pcb = ip.pcb;
  FmArb* h = pcb->pcf_stream.get();
  size_t len = 0;
  uint8_t* rec = pcf_rec(pcb, &len);
  if ((ip.a3 && ip.a3->exact_key == "1") || !h || !rec || ip.cfi->fdb.org == 0 || ip.cfi->fdb.access == 1)
    return pi_read(pcb, ip.a3 && ip.a3->exact_key == "1" ? FM_OP_EQUAL : 0);
  const FmKdb* k = stream_key(h);
  if (!k || ip.defaults.size() != len) return pi_read(pcb, 0);
  const FmSdb* segs = k->segs.get();
  size_t total = 0, entered = 0;
  for (int i = 0; segs && i < int(k->seg_count); ++i) {
    size_t off = segs[i].offset, n = segs[i].length;
    if (off + n > len) return pi_read(pcb, 0);
    total += n;
    if (std::memcmp(rec + off, ip.defaults.data() + off, n) != 0) entered = total;
  }
  if (entered == 0) return pi_read(pcb, FM_OP_FIRST);
  if (entered == total) return pi_read(pcb, 0);
  // The entered leading part of the key, its segments side by side.
  MmPool pool = mm_create_pool(" IPPOOL    ", pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth), 0);
  auto* key = static_cast<uint8_t*>(MM_ALLOC(pool, total));
  size_t at = 0;
  for (int i = 0; i < int(k->seg_count); ++i) {
    std::memcpy(key + at, rec + segs[i].offset, segs[i].length);
    at += segs[i].length;
  }
  int ok;
  {
    FmArbKeep keep(h);
    h->key.set(key);
    h->key_len = uint16_t(entered);
    ok = pi_read(pcb, FM_OP_KEY);
  }
  mm_free(key);
  return ok;
}

// Step 6: the read of key entry (results 22 and 36, and 31 after a
// delete). False when the process goes on to the next record (step 7).
bool read_step(Ip& ip) {
  Pcb* pcb = ip.pcb;
  if (!fp_record_entry(pcb)) ut_unwind(2);
  if (ip.a11->phase != 6) return false;
  ip.a11->phase = uint8_t(ip_mode_phase(ip.mode()));
  if (key_read(ip)) return true;
  uint32_t st = pcf_status(pcb);
  if (locked(st)) {
    // Held or locked: the record as it is on file, for inquiry only.
    ip.a11->phase = 3;
    fp_msg(pcb, st);
    return true;
  }
  // Not found: the typed key stays for the user to mend.
  ip.a11->phase = 6;
  ip.keep = true;
  verb_msg(pcb);
  return true;
}

// Step 7: the next record after ENTER (or NEXT RECORD, 23).
// A process none of whose frames waits for a key shows one record a pass
// and goes on to the next: with none left (or in Add, where nobody keys
// one) it ends, rather than passing again and again without a wait. So
// does one whose first frame is not interactive: its image pass ends the
// pass (with NEXT) before any frame chained after it waits.
bool never_waits(Pcb* pcb) {
  if (EmCfrm* first = fp_frame(pcb, 1); first && !first->interactive) return true;
  EmHeader* em = pcb->module.get();
  for (uint32_t f = 1; em && f <= em->n_frames; ++f)
    if (EmCfrm* fr = fp_frame(pcb, f); fr && fr->interactive) return false;
  return true;
}

// Between the records such a process shows on its own nobody can press a
// key: an interrupt (^C) is its CANCEL key. Where CANCEL may end the
// process, the interrupt ends it as CANCEL does (the modification log
// ended, completion code 4); an end signal (SIGTERM, SIGHUP) ends every
// process.
void stop_check(Pcb* pcb) {
  ss_yield();
  if (ss_stop_signal()) ss_stop_unwind();
  auto* a3 = pi_area_rec<PdArea3>(pcb, 3);
  if (!a3 || a3->cancel_ok != "1" || pcb->invoc.child_fail_mode == 0 || !ss_take_interrupt()) return;
  ip_mod_end(pcb);
  ut_unwind(int(CompletionCode::CancelError));
}

void next_step(Ip& ip, int result) {
  Pcb* pcb = ip.pcb;
  int mode = ip.mode();
  bool shown = result == kFpNext && never_waits(pcb);
  ip.a11->phase = uint8_t(ip_mode_phase(mode));
  if (mode == 1) {
    if (shown) ut_unwind(2);
    return;
  }
  if (result != kFpNext && !ip_auto_rdnxt(mode, ip.a11->phase, arn(ip))) {
    ip.a11->phase = 6;
    return;
  }
  if (shown) stop_check(pcb);
  if (pi_rdnxt(pcb, 0)) return;
  uint32_t st = pcf_status(pcb);
  if (locked(st)) {
    ip.a11->phase = 3;
    fp_msg(pcb, st);
    return;
  }
  if (shown) ut_unwind(2);
  ip.a11->phase = 6;
  if (st == kStEof || st == kStNotPositioned) fp_msg(pcb, kMsgEof);
  else verb_msg(pcb);
}

// ---------------------------------------------------------- the list --
// A process whose first frame scrolls shows its records as the rows of a
// list (ipscrl.cpp). In Change, Delete and Inquire the row under the
// cursor (the current row) is the record: it is read again before each
// pass in the mode's phase, so that Change and Delete hold it; ENTER goes
// on to the next row. A new record (Add) and key entry are entered in the
// first row of the emptied window; a key read there starts the list at its
// record.
void list_entry(Ip& ip) { ip_scroll_start(ip.pcb); }

// Before a pass in a record phase: in Change and Delete the current row's
// record read again and held. A record another user holds shows for
// inquiry with the lock's message; a list with no row left goes to key
// entry. Inquire shows the rows as they were read.
void list_row(Ip& ip) {
  Pcb* pcb = ip.pcb;
  ip.a11->phase = uint8_t(ip_mode_phase(ip.mode()));
  if (ip.a11->phase == 3 && pcb->scroll_img->cur) return;
  int r = ip_scroll_row(pcb);
  if (r == 2) {
    ip.a11->phase = 3;
    fp_msg(pcb, pcf_status(pcb));
  } else if (r == 0) {
    ip.a11->phase = 6;
    list_entry(ip);
    fresh_record(ip);
  }
}

// ENTER (or NEXT RECORD) on the list.
void list_done(Ip& ip) {
  Pcb* pcb = ip.pcb;
  int ph = ip.a11->phase;
  if (ip.mode() == 1) {
    // The new record was written: the next one.
    ip.a11->phase = 1;
    return;
  }
  if (ph == 6) {
    // Key entry: the list from the record the key reads (one held or
    // locked elsewhere too: its row shows it for inquiry).
    if (!fp_record_entry(pcb)) ut_unwind(2);
    ip.a11->phase = uint8_t(ip_mode_phase(ip.mode()));
    if (key_read(ip) || locked(pcf_status(pcb))) {
      ip.a11->phase = uint8_t(ip_mode_phase(ip.mode()));
      ip_scroll_from(pcb);
      return;
    }
    ip.a11->phase = 6;
    ip.keep = true;
    verb_msg(pcb);
    return;
  }
  // A record phase: the row is done (rewritten in Change when changed);
  // the next row, read ahead past the last.
  if (ph == 7) ip_scroll_retag(pcb);
  if (pcb->scroll_img->cur && !nxt_tag(pcb, 0)) fp_msg(pcb, kMsgEof);
}

// A mode key on the list (security already passed): Add enters a new
// record; another mode on a row keeps the row, read again in the new
// mode's phase at the next pass; a key that changes nothing, or one with no
// row shown, goes to key entry in its mode.
void list_mode(Ip& ip, const IpModeSel& s) {
  Pcb* pcb = ip.pcb;
  int ph = ip.a11->phase;
  bool row = pcb->scroll_img->cur && ph != 1 && ph != 6;
  if (s.mode == 1) {
    list_entry(ip);
    ip.set(1, 1);
    return;
  }
  if (!row || s.mode == ip.mode()) {
    list_entry(ip);
    ip.set(s.mode, 6);
    return;
  }
  // The row held for the old mode is let go.
  if (FmArb* h = pcb->pcf_stream.get()) fm_release(h);
  ip.set(s.mode, ip_mode_phase(s.mode));
}

// init_mode: MODE and INTERACTIVE PHASE the process starts in, with its
// first record read where the mode asks for one.
void init_mode(Ip& ip) {
  Pcb* pcb = ip.pcb;
  int dm = ip.a3 ? int(ip.a3->default_mode) : 0;
  if (dm == 0 || dm > 254) dm = 1;
  bool keyed = ip.cfi && ip.cfi->fdb.org != 0;
  auto read_first = [&](int mode, int phase) -> uint32_t {
    ip.set(mode, phase);
    if (pi_read(pcb, FM_OP_FIRST)) return 0;
    uint32_t st = pcf_status(pcb);
    return locked(st) || pcb->invoc.completion == kPiRsFile ? (st ? st : 1) : 1;
  };
  IpModeSel s = ip_init_mode(dm, mode_facts(pcb), fp_record_entry(pcb), keyed,
                             arn(ip), read_first);
  ip.set(s.mode, s.phase);
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
  // A process defined without frames shows nothing: it ends at once,
  // normally, as a report without frames does.
  if (!pcb->module || pcb->module->n_frames == 0) ut_unwind(1);
  Ip ip{pcb, pi_area_rec<PdArea3>(pcb, 3), pi_area_rec<PdArea11>(pcb, 11), pcf_cfi(pcb), {}};
  if (!ip.a11) {
    os_sys_err_text(kMod, __LINE__, "ip_exec() - no mode block");
    ut_unwind(4);
  }
  // 1. The modification log of the run (ipmlog.cpp).
  IpLogRun log_run(pcb);
  size_t len = 0;
  uint8_t* rec = pcf_rec(pcb, &len);
  ip.defaults.assign(rec, rec ? rec + len : nullptr);
  init_mode(ip);
  // A list starts filled from its first page, in the mode's own phase;
  // in Add mode with the new record in its first row.
  const bool list = ip_scroll_frame(pcb) == 1;
  if (list && ip.mode() != 1) {
    ip.a11->phase = uint8_t(ip_mode_phase(ip.mode()));
    ip_scroll_first(pcb);
  } else if (list) {
    list_entry(ip);
  }
  EmHeader* em = pcb->module.get();
  for (;;) {
    // The windows of the child Input processes go.
    if (list) ip_detach(pcb, 0, false, false, true);
    // Every frame shows its images afresh, from the first level.
    if (PcbFrameEnt* ft = pcb->frame_tbl.get()) {
      for (uint32_t f = 1; f <= em->n_frames; ++f) ft[f].image = 0;
      if (EmCfrm* fr = fp_frame(pcb, 1)) ft[1].level = fp_img_levels(fp_image(pcb, fr->first_img)) != 0 ? 1 : 0;
    }
    int phase = ip.a11->phase;
    if (phase == 1 || phase == 6) {
      if (list && pcb->scroll_img->first) list_entry(ip);
      fresh_record(ip);
    } else if (list) {
      list_row(ip);
      phase = ip.a11->phase;
    }
    int r;
    if (phase == 6 && ip.a11->file_status == kStQueryRec) {
      ip.a11->file_status = 0;
      r = kFpDone;
    } else {
      r = fp_exec(pcb, 1);
    }
    switch (r) {
      case kFpBack:
        ut_unwind(kFpBack);
      case kFpDone:
      case kFpScanChose:
        if (list) list_done(ip);
        else if (!read_step(ip)) next_step(ip, r);
        break;
      case kFpNext:
        if (list) list_done(ip);
        else next_step(ip, r);
        break;
      case kFpAdd:
      case kFpDelete:
      case kFpInquire:
      case kFpChange: {
        IpModeSel s = ip_slct_mode(r, ip.mode(), ip.a11->phase, mode_facts(pcb));
        if (s.msg) fp_msg(pcb, s.msg);
        else if (list) list_mode(ip, s);
        else ip.set(s.mode, s.phase);
        break;
      }
      case kFpDelAck:
        if (!pi_del(pcb)) {
          verb_msg(pcb);
          break;
        }
        // On the list the next pass finds the row's record gone: the rows
        // below move up and the next one is current.
        if (!list && !read_step(ip)) next_step(ip, r);
        break;
      case kFpScroll:
        if (!list) break;
        ip_scroll(pcb);
        // Rows shown from key entry: the list goes on in the mode.
        if (ip.a11->phase == 6 && pcb->scroll_img->cur) {
          ip.a11->phase = uint8_t(ip_mode_phase(ip.mode()));
          ip.keep = false;
        }
        break;
      default: {
        char text[64];
        std::snprintf(text, sizeof text, "ip_exec - unexpected fp_exec status : %d", r);
        os_sys_err_text(kMod, __LINE__, text);
      }
    }
  }
}

// ----------------------------------------------------------- children --
int ip_pre_invoc(Pcb* pcb, const EmCchld* child) {
  auto* a11 = pi_area_rec<PdArea11>(pcb, 11);
  FmArb* h = pcb->pcf_stream.get();
  if (!h || !a11) return 1;
  if (a11->phase == 1) {
    // The new record is written first, so the child sees it.
    if (!pi_write(pcb)) {
      verb_msg(pcb);
      return 0;
    }
    a11->phase = 7;
    return 1;
  }
  if (a11->phase == 7) {
    size_t len = 0;
    uint8_t* rec = pcf_rec(pcb, &len);
    uint8_t* saved = pcb->pcf_buf1.get();
    if (rec && saved && std::memcmp(rec, saved, len) == 0) {
      if (!fm_release(h)) {
        fp_msg(pcb, pcf_status(pcb));
        return 0;
      }
    } else if (!pi_rewrite(pcb)) {
      verb_msg(pcb);
      return 0;
    }
    run_ep(pcb, 61, child);
  }
  return 1;
}

void ip_post_invoc(Pcb* pcb, const EmCchld*) {
  auto* a11 = pi_area_rec<PdArea11>(pcb, 11);
  if (!pcb->pcf_stream || !a11 || a11->phase != 7) return;
  // The record again, as the child left it.
  if (pi_read(pcb, FM_OP_RID)) return;
  a11->phase = 3;
  uint32_t st = pcf_status(pcb);
  if (pcb->invoc.completion == kPiRsFile && !locked(st)) fp_msg(pcb, st);
}

// -------------------------------------------------------------- frames --
void ip_sof(Pcb*) {}
int ip_eof(Pcb* pcb) { return pcb->invoc.completion; }

// ------------------------------------------------------------- ip_auto --
void ip_auto(Pcb* pcb) {
  auto* a11 = pi_area_rec<PdArea11>(pcb, 11);
  if (fp_has_pcf(pcb) && pcb->pcf_stream && a11) {
    bool del = pcb->invoc.auto_mode == 2;
    a11->mode = del ? 2 : 4;
    a11->phase = del ? 2 : 7;
    for (int ok = pi_rdnxt(pcb, FM_OP_FIRST); ok; ok = pi_rdnxt(pcb, 0))
      if (del ? !pi_del(pcb) : !pi_rewrite(pcb)) break;
  }
  ut_unwind(2);
}
