// The PCF verbs, the modification log and the dynamic key: see pipcf.h.
#include "process/pipcf.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/cvdat.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pc.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pigetd.h"
#include "process/pishr.h"
#include "process/pl.h"
#include "process/services.h"

namespace {
constexpr const char* kMod = "PIPCF.C";
constexpr uint16_t kHold = FM_OP_HOLD | FM_OP_WAIT;

void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

// What every verb works on.
struct Pcf {
  Pcb* pcb = nullptr;
  EmHeader* em = nullptr;
  PiFileCtl* fc = nullptr;  // the compiled PCF entry
  EmCfi* cfi = nullptr;
  FmArb* h = nullptr;       // the PCF stream
  uint8_t* rec = nullptr;   // the PCF record area
  uint16_t len = 0;
};

Pcf pcf_of(Pcb* pcb) {
  Pcf p;
  p.pcb = pcb;
  p.em = pcb->module.get();
  p.fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get());
  p.cfi = p.fc ? p.fc->cfi.get() : nullptr;
  p.h = pcb->pcf_stream.get();
  if (p.h) p.rec = p.h->rec.get();
  else if (p.fc && p.fc->handle) p.rec = p.fc->handle->rec.get();
  p.len = p.cfi ? uint16_t(p.cfi->fdb.rec_len) : 0;
  return p;
}

void result(Pcb* pcb, int r) { pcb->invoc.completion = r; }

void trace(Pcb* pcb, uint32_t msg, FmArb* h) {
  TRACE_QUVO(0x201, 0, msg, pcb, h && fm_is_handle(h) ? const_cast<uint8_t*>(fm_path(h)) : nullptr);
}

// An event point of the process (c null) or of a child: the errors it reported.
int ep(Pcb* pcb, int n, const EmCchld* c = nullptr) {
  PiEpArg a{pcb, n, 0};
  a.cchld = c;
  proc_svc.ii_proc_exec(&a);
  return a.errors;
}

PdArea11* phase_rec(Pcb* pcb) { return pi_area_rec<PdArea11>(pcb, 11); }
int phase(Pcb* pcb) {
  PdArea11* a = phase_rec(pcb);
  return a ? int(a->phase) : 0;
}
bool locked(uint32_t st) { return st == FM_ST_HELD_SELF || st == FM_ST_LOCKED; }
bool hold_mark(const Pcf& p) { return p.em && p.em->b903 != 0; }

// The hold options of a read (pi_read) or of a read-next.
uint16_t hold_opts(const Pcf& p, uint16_t op, bool next) {
  int type = p.pcb->invoc.type;
  bool autom = p.pcb->invoc.auto_mode != 0;
  // A person at an Input screen is not left waiting on another user's
  // lock: the read answers 200530 at once with the record, which the input
  // executor shows for inquiry with the message.
  if (p.cfi && (p.cfi->use & (4 | 8)) && (phase(p.pcb) == 7 || phase(p.pcb) == 2 || type != 2))
    op |= type == 2 && !autom ? FM_OP_HOLD : kHold;
  if (!next) {
    if (type == 9) {
      op = hold_mark(p) ? uint16_t(op | kHold) : uint16_t(op & ~kHold);
    } else if (autom) {
      op |= kHold;
      p.h->lock_wait = -1;
    }
  } else if (((type == 3 || type == 4 || type == 7) && !autom) || (type == 9 && autom)) {
    if (hold_mark(p)) {
      op |= kHold;
      p.h->lock_wait = -1;
    } else {
      op &= uint16_t(~kHold);
      p.h->lock_wait = 0;
    }
  } else if (autom) {
    op |= kHold;
    p.h->lock_wait = -1;
  }
  return op;
}

int32_t secr_off(const Pcf& p) { return p.cfi ? p.cfi->elem1_off.get() : -1; }

// Steps 6 and 7 of a read: the copies, the hold handle, the phase, event
// points 03 and 11; the verb's answer.
int after_read(const Pcf& p, int ok, uint16_t op) {
  Pcb* pcb = p.pcb;
  if (p.rec && pcb->pcf_buf1) std::memcpy(pcb->pcf_buf1.get(), p.rec, p.len);
  CPY_RID(pcb, p.h);
  if (ok && (op & FM_OP_HOLD) && p.fc) p.fc->held.set(p.h);
  if (!ok && pcb->invoc.type == 2)
    if (PdArea11* a = phase_rec(pcb)) a->phase = 3;
  if (ep(pcb, 3)) {
    result(pcb, kPiRsEp03);
    return 0;
  }
  if (ep(pcb, 11)) {
    result(pcb, kPiRsEp11);
    return 0;
  }
  return ok;
}

void file_failed(const Pcf& p) {
  trace(p.pcb, p.h->status, p.h);
  result(p.pcb, kPiRsFile);
}

// ------------------------------------------------------------ stamps --
PcPcfCmpl* pcf_cmpl(const Pcf& p) { return p.em ? &pc_pcf_cmpl(p.em) : nullptr; }
int32_t stamp_off(const Pcf& p, int slot) {
  PcPcfCmpl* c = pcf_cmpl(p);
  int32_t off = c ? c->stamp_off[slot].get() : -1;
  return off >= 0 && p.rec && uint32_t(off) < p.len ? off : -1;
}

void user_stamp(const Pcf& p, int slot) {
  int32_t off = stamp_off(p, slot);
  if (off >= 0 && off + 3 <= p.len) std::memcpy(p.rec + off, com.user_id.data(), 3);
}

bool date_stamp(const Pcf& p, int index) {
  PcPcfCmpl* c = pcf_cmpl(p);
  if (!c || !p.rec) return true;
  const DateStampRec& s = c->date[index];
  if (s.offset.get() < 0) return true;
  if (s.offset.get() + int(s.len.get()) > p.len) return false;
  HostTime now;
  os_quvo_time(&now);
  auto* host = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), 8));
  std::memcpy(host, &now, 8);
  DateDesc std_date;
  int ok = GREG_BIN_TO_STD(&std_date, host);
  DateDesc d;
  if (ok && STAMP_DATE(std_date.date, s, p.rec, &d)) ok = cv_ston_date(&d);
  mm_free(host);
  return ok != 0;
}

// ----------------------------------------------------- access security --
bool may_see(const Pcf& p) { return pi_chk_acc_secr(p.pcb, p.rec, secr_off(p)) != 0; }

// ------------------------------------------------------------ children --
PcbChildEnt* child(const Pcf& p, uint32_t i) {
  PcbChildEnt* t = p.pcb->child_tbl.get();
  if (!t || !p.em || i < 1 || i > p.em->n_children) return nullptr;
  return t[i].cchld ? &t[i] : nullptr;
}
uint32_t children(const Pcf& p) { return p.em && p.pcb->child_tbl ? uint32_t(p.em->n_children) : 0; }

const PiCnsDesc* descs(const EmCchld* c) {
  return reinterpret_cast<const PiCnsDesc*>(c->invoc.cns_descs.get());
}

// The bytes of a compiled child's constraint source in its caller (a
// field of the PCF record, of another area, or a constant of the caller's
// module), or null when the caller has none of that length there.
const uint8_t* cns_source(const Pcf& p, const PiCnsDesc& d) {
  uint32_t len = d.length;
  EmHeader* em = p.em;
  switch (d.source) {
    case kPiCnsFromPcf:
      return p.rec && uint32_t(d.src_off) + len <= p.len ? p.rec + d.src_off : nullptr;
    case kPiCnsFromArea: {
      const Ref<uint8_t>* addr = p.pcb->area_addr.get();
      const auto* t = em ? reinterpret_cast<const EmAreaEntry*>(em->area_table.get()) : nullptr;
      uint32_t ix = d.src;
      if (!addr || !t || ix == 0 || ix > em->n_areas || !addr[ix]) return nullptr;
      for (uint32_t i = 1; i <= em->n_areas; ++i)
        if (t[i].index == ix) return uint64_t(d.src_off) + len <= t[i].size ? addr[ix].get() + d.src_off : nullptr;
      return nullptr;
    }
    case kPiCnsConst: {
      FmArb* c = em ? em->cnst.get() : nullptr;
      uint8_t* r = c && d.src ? MADDR(c, d.src) : nullptr;
      return r && c->len_read >= len ? r : nullptr;
    }
    default: return nullptr;
  }
}

// Gathers a child's constraint values from their sources into its entry's
// buffer (made once, of the total length).
void gather(const Pcf& p, PcbChildEnt* ce) {
  const EmCchld* c = ce->cchld.get();
  uint32_t total = c->invoc.cns_total;
  const PiCnsDesc* d = descs(c);
  if (!d || c->invoc.cns_count == 0 || total == 0) return;
  if (!ce->values) {
    auto* v = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), total));
    std::memset(v, 0, total);
    ce->values.set(v);
    ce->len = total;
  }
  for (uint32_t i = 0; i < c->invoc.cns_count; ++i) {
    uint32_t at = d[i].value_at, len = d[i].length;
    const uint8_t* src = cns_source(p, d[i]);
    if (!src || uint64_t(at) + len > ce->len) continue;
    std::memcpy(ce->values.get() + at, src, len);
  }
}

// Whether a key-flagged constraint's source differs from its gathered
// value.
bool key_changed(const Pcf& p, const PcbChildEnt* ce) {
  const EmCchld* c = ce->cchld.get();
  const PiCnsDesc* d = descs(c);
  if (!d || !ce->values) return false;
  for (uint32_t i = 0; i < c->invoc.cns_count; ++i) {
    uint32_t at = d[i].value_at, len = d[i].length;
    const uint8_t* src = cns_source(p, d[i]);
    if (!d[i].key || !src || uint64_t(at) + len > ce->len) continue;
    if (std::memcmp(ce->values.get() + at, src, len) != 0) return true;
  }
  return false;
}

// Runs a child in an automatic mode with this PCB as its caller: its code.
int run_child(const Pcf& p, PcbChildEnt* ce, int auto_mode) {
  PiInvoc v = ce->cchld->invoc;
  v.parent_pcb.set(p.pcb);
  v.auto_mode = uint8_t(auto_mode);
  v.completion = 0;
  if (auto_mode == 1) {
    v.cns_values = ce->values;
    v.cns_total = ce->len;
  }
  pi_exec(&v);
  return v.completion;
}

// The current frame and image, put back when a cascade ends, however it
// ends; a child of the change cascade runs with its own frame and image
// current.
struct KeepFrame {
  Pcb* pcb;
  uint32_t frame, image;
  explicit KeepFrame(Pcb* p) : pcb(p), frame(p->run.frame), image(p->run.image) {}
  ~KeepFrame() {
    pcb->run.frame = frame;
    pcb->run.image = image;
  }
  void child(const EmCchld& c) {
    pcb->run.frame = c.frame_seq;
    pcb->run.image = c.image_seq;
  }
};

// A child ended with 37: the verb fails with 200860.
int child_failed(const Pcf& p) {
  if (p.h) p.h->status = kPiStChild37;
  result(p.pcb, kPiRsFile);
  trace(p.pcb, kPiStChild37, p.h);
  return 0;
}

// ------------------------------------------------------- delete guards --
bool guarded(const Pcf& p) {
  PcPcfCmpl* c = pcf_cmpl(p);
  if (!c || !p.rec) return false;
  int32_t f = stamp_off(p, 2);
  if (f >= 0 && p.rec[f] == '1') return true;
  int32_t n = stamp_off(p, 3);
  if (n < 0) return false;
  int type = c->typed[1].type, len = c->typed[1].len;
  if (n + len > p.len) return false;
  const uint8_t* v = p.rec + n;
  if (type == 5 && (len == 1 || len == 2 || len == 4)) {
    for (int i = 0; i < len; ++i)
      if (v[i]) return true;
    return false;
  }
  if (type == 8 || type == 12) {
    // Packed: any digit but the sign nibble.
    int bytes = type == 12 ? std::min(len, 8) : len;
    for (int i = 0; i < bytes; ++i) {
      uint8_t b = i == bytes - 1 ? uint8_t(v[i] & 0xF0) : v[i];
      if (b) return true;
    }
  }
  return false;
}

// --------------------------------------------------- modification log --
// The simple fields of the PCF's file in record-offset order (the first-
// difference walk of a change needs them so), from its ELEMENT dictionary.
bool pcf_fields(const Pcf& p, std::vector<DElem>* out, std::string* ver) {
  char app[4] = {}, v[3] = {};
  std::memcpy(app, p.cfi->fdb.app.data(), 3);
  std::memcpy(v, p.pcb->invoc.ver.data(), 2);
  if (IS_ZUB_AP(app)) std::memcpy(v, "00", 2);
  *ver = v;
  std::vector<DElem> all;
  if (!pi_file_elems(app, v, p.cfi->fdb.name, &all)) return false;
  for (const DElem& e : all)
    if (!(e.kind == 2 || e.kind == 3 || e.work == '1' || e.length == 0)) out->push_back(e);
  std::stable_sort(out->begin(), out->end(),
                   [](const DElem& a, const DElem& b) { return a.offset.get() < b.offset.get(); });
  return true;
}

// The display text of a field occurrence, at most width characters (a
// value that does not fit shows as the conversion shows it: 200050 is
// accepted). False for another failure.
bool show(const DElem& e, const uint8_t* value, int width, const char* app, const char* ver, std::string* out) {
  MmPool pool = pi_pool();
  auto* ce = static_cast<CElem*>(MM_ALLOC(pool, sizeof(CElem)));
  auto* stored = static_cast<uint8_t*>(MM_ALLOC(pool, size_t(e.length) + 1));
  auto* text = static_cast<char*>(MM_ALLOC(pool, 512));
  std::memset(static_cast<void*>(ce), 0, sizeof *ce);
  std::memcpy(static_cast<void*>(ce), &e, sizeof e);
  std::memcpy(stored, value, e.length);
  bool ok = false;
  CvItem it;
  CvBlock b;
  CvSitm s{nullptr, 0};
  if (cv_bld_sitm(&it, ce, &s, app, ver) && cv_cmpl(&b, &it, nullptr)) {
    if (b.width > width) {
      s.width = width;
      ok = cv_bld_sitm(&it, ce, &s, app, ver) && cv_cmpl(&b, &it, nullptr);
    } else {
      ok = true;
    }
  }
  if (ok && b.width <= 511) {
    std::memset(text, ' ', 512);
    cv_set_addr(&b, stored, text);
    cv_itoe(&b);
    ok = b.msg == 0 || b.msg == 200050;
    out->assign(text, std::min<size_t>(b.width, size_t(width)));
  } else {
    ok = false;
  }
  mm_free(text);
  mm_free(stored);
  mm_free(ce);
  return ok;
}

void rtrim(std::string* s) {
  while (!s->empty() && s->back() == ' ') s->pop_back();
}

struct Log {
  const Pcf& p;
  std::vector<DElem> fields;
  std::string ver;
  char app[4] = {};
  PiModLog* r = nullptr;
  bool ok = true;
  explicit Log(const Pcf& pcf) : p(pcf) {
    std::memcpy(app, p.cfi->fdb.app.data(), 3);
    if (!pcf_fields(p, &fields, &ver)) {
      sys_err(__LINE__, "can't locate field delem");
      ok = false;
    }
    r = static_cast<PiModLog*>(MM_ALLOC(pi_pool(), sizeof(PiModLog)));
  }
  ~Log() { mm_free(r); }
  void put() {
    FmArb* f = p.pcb->mod_log.get();
    PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(r));
    if (!fm_write(f)) {
      sys_err(__LINE__, "runtime STDMLOG write failed");
      ok = false;
    }
  }
  // The key text of a record: the primary key's fields, one blank apart.
  std::string key_text(const uint8_t* rec) {
    std::string t;
    const FmFile* file = p.h ? p.h->file.get() : nullptr;
    const FmKdb* k = file && file->fdb.key_count && file->kdb ? file->kdb.get() : nullptr;
    if (!k) return t;
    const FmSdb* s = k->segs.get();
    for (int i = 0; s && i < k->seg_count; ++i) {
      const DElem* e = nullptr;
      for (const DElem& f : fields)
        if (f.offset == s[i].offset) {
          e = &f;
          break;
        }
      if (!e) continue;  // the second half of a split binary segment
      // A dictionary's element that reaches past the record shows nothing.
      if (uint32_t(s[i].offset) + e->length > file->fdb.rec_len) continue;
      int room = 40 - int(t.size()) - (t.empty() ? 0 : 1);
      if (room <= 0) break;
      std::string v;
      if (!show(*e, rec + s[i].offset, room, app, ver.c_str(), &v)) {
        sys_err(__LINE__, "key segment conversion failure");
        ok = false;
        return t;
      }
      rtrim(&v);
      if (int(v.size()) > room) break;
      if (!t.empty()) t += ' ';
      t += v;
    }
    return t;
  }
  void header(uint8_t type, const uint8_t* rec) {
    std::memset(static_cast<void*>(r), ' ', sizeof *r);
    r->type = type;
    std::memcpy(r->app.data(), app, 3);
    std::memcpy(r->name.data(), p.cfi->fdb.name.data(), 8);
    r->occ = 0;
    std::string k = key_text(rec);
    std::memcpy(r->key.data(), k.data(), std::min<size_t>(k.size(), 40));
    put();
  }
  bool field(const DElem& e, int occ, const uint8_t* old_rec, const uint8_t* rec) {
    std::memset(static_cast<void*>(r), ' ', sizeof *r);
    r->type = kMlogField;
    std::memcpy(r->name.data(), e.name.data(), std::min<size_t>(sizeof e.name, 30));
    r->occ = uint8_t(e.occurs > 1 ? occ + 1 : 0);
    size_t at = size_t(e.offset) + size_t(e.length) * size_t(occ);
    std::string v;
    if (!show(e, rec + at, 40, app, ver.c_str(), &v)) {
      sys_err(__LINE__, "key field conversion failure");
      return ok = false;
    }
    std::memcpy(r->value.data(), v.data(), std::min<size_t>(v.size(), 40));
    if (old_rec) {
      if (!show(e, old_rec + at, 40, app, ver.c_str(), &v)) {
        sys_err(__LINE__, "key field conversion failure");
        return ok = false;
      }
      std::memcpy(r->key.data(), v.data(), std::min<size_t>(v.size(), 40));
    }
    put();
    return ok;
  }
  // A record added or deleted: the header, then every field occurrence.
  void whole(uint8_t type, const uint8_t* rec) {
    if (!ok) return;
    header(type, rec);
    for (const DElem& e : fields)
      for (int o = 0; ok && o < std::max<int>(1, e.occurs); ++o) {
        if (size_t(e.offset) + size_t(e.length) * size_t(o + 1) > p.len) break;
        field(e, o, nullptr, rec);
      }
  }
  // A record changed: the header, then each occurrence from the first
  // difference on that ends beyond it, then the next difference after it.
  void change(const uint8_t* old_rec, const uint8_t* rec) {
    if (!ok) return;
    auto diff = [&](size_t from) {
      for (size_t i = from; i < p.len; ++i)
        if (old_rec[i] != rec[i]) return i;
      return size_t(p.len);
    };
    size_t d = diff(0);
    if (d >= p.len) return;
    header(kMlogChg, rec);
    for (const DElem& e : fields)
      for (int o = 0; ok && o < std::max<int>(1, e.occurs) && d < p.len; ++o) {
        size_t start = size_t(e.offset) + size_t(e.length) * size_t(o);
        size_t end = start + e.length;
        if (end > p.len) break;
        if (end <= d) continue;
        // A difference between fields: look again from this occurrence.
        if (start > d && (d = diff(start)) >= end) continue;
        field(e, o, old_rec, rec);
        d = diff(end);
      }
  }
};

bool logs(const Pcf& p) {
  return p.pcb->invoc.type == 2 && p.pcb->mod_log && fm_is_handle(p.pcb->mod_log.get()) && p.cfi && p.rec;
}

}  // namespace

namespace {
void drop_dyna_file(PiDyna* d);
}  // namespace

// ================================================================ verbs ==
int pi_chk_acc_secr(Pcb* pcb, const uint8_t* record, int32_t offset) {
  if (offset < 0 || !record || !pcb || !pcb->profile) return 1;
  char code[5] = {};
  std::memcpy(code, record + offset, 4);
  int n = ut_xlate_secr(code);
  if (n < 0) return 1;
  // A code past the profile's access map is refused, never read.
  return pi_prof_bit(static_cast<const DProfile*>(pcb->profile.get()), n) ? 1 : 0;
}

void CPY_RID(Pcb* pcb, FmArb* h) {
  if (!pcb || !h) return;
  uint16_t n = h->rid_len ? uint16_t(h->rid_len) : 4;
  const uint8_t* src = n != 4 && h->rid_ext ? h->rid_ext.get() : reinterpret_cast<const uint8_t*>(&h->rid);
  if (n != 4 && !h->rid_ext) n = 4;
  if (!pcb->rid_copy || pcb->rid_len < n) {
    if (pcb->rid_copy) mm_free(pcb->rid_copy.get());
    pcb->rid_copy.set(static_cast<uint8_t*>(MM_ALLOC(pi_pool(), std::max<uint16_t>(n, 4))));
  }
  std::memcpy(pcb->rid_copy.get(), src, n);
  pcb->rid_len = n;
}

void pi_pcf_detach(Pcb* pcb) {
  auto* fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get());
  if (fc && fc->held && fc->held.get() == pcb->pcf_stream.get()) fc->held.reset();
  // The DYN file belongs to the run's scope: a later run of the PCB builds
  // it again from the same fields.
  if (auto* d = static_cast<PiDyna*>(pcb->dyna.get())) drop_dyna_file(d);
}

void pi_pcf_free(Pcb* pcb) {
  pi_dyna_add(pcb, nullptr);
  pi_mlog_close(pcb);
  if (pcb->rid_copy) mm_free(pcb->rid_copy.get());
  pcb->rid_copy.reset();
  pcb->rid_len = 0;
}

int pi_read(Pcb* pcb, uint16_t op) {
  Pcf p = pcf_of(pcb);
  if (!p.h) {
    result(pcb, int(kPiStNoRecord));
    return 0;
  }
  if (!pcb->invoc.query_app.blank() && (op & FM_OP_FIRST)) return pi_rdnxt(pcb, op);
  op = hold_opts(p, op, false);
  trace(pcb, (op & FM_OP_RID) ? 603700 : 603600, p.h);
  p.h->op = op;
  int ok = dyna_read(pcb, p.h);
  p.h->op = 0;
  if (!ok && !locked(p.h->status)) {
    file_failed(p);
    return 0;
  }
  if (!may_see(p)) {
    trace(pcb, 604200, p.h);
    if (op & kHold) fm_release(p.h);
    if (op & FM_OP_EQUAL) {
      p.h->status = kPiStNoRecord;
      result(pcb, kPiRsFile);
      return 0;
    }
    return pi_rdnxt(pcb, uint16_t(op & ~FM_OP_FIRST));
  }
  return after_read(p, ok, op);
}

int pi_rdnxt(Pcb* pcb, uint16_t op) {
  Pcf p = pcf_of(pcb);
  if (!p.h) return 1;
  op = hold_opts(p, op, true);
  int ok;
  for (;;) {
    trace(pcb, 603800, p.h);
    p.h->op = op;
    ok = dyna_rdnxt(pcb, p.h);
    p.h->op = 0;
    if (!ok && !locked(p.h->status)) {
      file_failed(p);
      return 0;
    }
    if (may_see(p)) break;
    trace(pcb, 604200, p.h);
    if (op & kHold) fm_release(p.h);
    if (op & FM_OP_FIRST) {
      op &= uint16_t(~FM_OP_FIRST);
      continue;
    }
    if (op & FM_OP_EQUAL) {
      p.h->status = kPiStNoRecord;
      result(pcb, kPiRsFile);
      return 0;
    }
  }
  return after_read(p, ok, op);
}

int pi_write(Pcb* pcb) {
  Pcf p = pcf_of(pcb);
  if (p.rec) pi_set_cns(pcb, p.rec, p.len);
  if (ep(pcb, 11)) {
    result(pcb, kPiRsEp11);
    return 0;
  }
  if (ep(pcb, 4)) {
    result(pcb, kPiRsEp04);
    return 0;
  }
  if (p.rec) pi_set_cns(pcb, p.rec, p.len);
  if (p.h) {
    user_stamp(p, 0);
    user_stamp(p, 1);
    if (!date_stamp(p, 0) || !date_stamp(p, 1)) sys_err(__LINE__, "pi_write() - bad stamp date");
    trace(pcb, 603900, p.h);
    p.h->rec_len = 0;
    p.h->op = 0;
    if (!dyna_write(pcb, p.h)) {
      file_failed(p);
      return 0;
    }
    CPY_RID(pcb, p.h);
    if (logs(p)) Log(p).whole(kMlogAdd, p.rec);
    if (pcb->pcf_buf1 && p.rec) std::memcpy(pcb->pcf_buf1.get(), p.rec, p.len);
  }
  if (ep(pcb, 5)) {
    result(pcb, kPiRsEp05);
    return 0;
  }
  return 1;
}

int pi_rewrite(Pcb* pcb) {
  Pcf p = pcf_of(pcb);
  bool autom = pcb->invoc.auto_mode != 0;
  if (p.rec) pi_set_cns(pcb, p.rec, p.len);
  if (ep(pcb, 11)) {
    result(pcb, kPiRsEp11);
    return 0;
  }
  if (!autom && ep(pcb, 4)) {
    result(pcb, kPiRsEp04);
    return 0;
  }
  if (p.rec) pi_set_cns(pcb, p.rec, p.len);
  uint8_t* saved = pcb->pcf_buf1.get();
  uint8_t* fresh = pcb->pcf_buf2.get();
  if (p.h) {
    user_stamp(p, 1);
    if (!date_stamp(p, 1)) sys_err(__LINE__, "pi_rewrite() - bad stamp date");
    trace(pcb, 604000, p.h);
    FmArb* held = p.fc ? p.fc->held.get() : nullptr;
    int ok = 0;
    if (held && held != p.h && fm_is_handle(held)) {
      FmArbKeep keep(held);
      held->rec.set(p.rec);
      held->rec_len = 0;
      held->op = 0;
      ok = fm_rewrite(held);
      if (ok) {
        p.h->status = held->status;
        p.h->rid_len = held->rid_len;
        p.h->rid = held->rid;
        p.h->rid_ext = held->rid_ext;
      }
    }
    if (!ok) {
      p.h->rec_len = 0;
      p.h->op = 0;
      ok = dyna_rewrite(pcb, p.h);
    }
    CPY_RID(pcb, p.h);
    if (!ok) {
      file_failed(p);
      // The record as it is on file into the saved copy, held again; the
      // record area keeps what the user changed.
      if (saved) {
        uint32_t st = p.h->status;
        FmArbKeep keep(p.h);
        p.h->rec.set(saved);
        // By its record id: the key in the area may be the user's new one.
        p.h->op = uint16_t(FM_OP_RID | kHold);
        fm_read(p.h);
        p.h->status = st;
      }
      return 0;
    }
    if (logs(p) && saved && std::memcmp(saved, p.rec, p.len) != 0) Log(p).change(saved, p.rec);
    if (fresh) std::memcpy(fresh, p.rec, p.len);
  }
  // The change cascade.
  uint32_t n = children(p);
  if (n && p.rec) {
    KeepFrame keep(pcb);
    std::vector<uint8_t> now(p.rec, p.rec + p.len);
    trace(pcb, 603300, p.h);
    trace(pcb, 603400, p.h);
    for (uint32_t i = 1; i <= n; ++i) {
      PcbChildEnt* ce = child(p, i);
      if (!ce || !ce->cchld->flag114) continue;
      ep(pcb, 61, ce->cchld.get());
      gather(p, ce);
    }
    trace(pcb, 603500, p.h);
    if (saved) std::memcpy(p.rec, saved, p.len);
    ep(pcb, 11);
    for (uint32_t i = 1; i <= n; ++i) {
      PcbChildEnt* ce = child(p, i);
      if (!ce || !ce->cchld->flag114) continue;
      keep.child(*ce->cchld);
      ep(pcb, 61, ce->cchld.get());
      if (!key_changed(p, ce)) continue;
      if (run_child(p, ce, 1) == 37) {
        // The new record back where it was before the cascade.
        std::memcpy(p.rec, now.data(), p.len);
        if (saved) std::memcpy(saved, now.data(), p.len);
        return child_failed(p);
      }
      ep(pcb, 62, ce->cchld.get());
    }
    std::memcpy(p.rec, now.data(), p.len);
  }
  if (p.rec) {
    if (fresh) std::memcpy(p.rec, fresh, p.len);
    if (saved) std::memcpy(saved, p.rec, p.len);
  }
  if (ep(pcb, 11)) {
    result(pcb, kPiRsEp11);
    return 0;
  }
  if (autom) return 1;
  if (ep(pcb, 5)) {
    result(pcb, kPiRsEp05);
    return 0;
  }
  return 1;
}

int pi_del(Pcb* pcb) {
  Pcf p = pcf_of(pcb);
  auto* a9 = pi_area_rec<PdArea9>(pcb, 9);
  if (p.h && a9 && a9->db_opts == 2 && guarded(p)) {
    p.h->status = kPiStGuard;
    result(pcb, kPiRsFile);
    trace(pcb, kPiStGuard, p.h);
    return 0;
  }
  uint32_t n = children(p);
  if (n) {
    KeepFrame keep(pcb);
    trace(pcb, 603200, p.h);
    for (uint32_t i = 1; i <= n; ++i) {
      PcbChildEnt* ce = child(p, i);
      if (!ce || !ce->cchld->flag115) continue;
      ep(pcb, 61, ce->cchld.get());
      std::vector<uint8_t> now;
      if (p.rec) now.assign(p.rec, p.rec + p.len);
      if (run_child(p, ce, 2) == 37) {
        if (p.rec) std::memcpy(p.rec, now.data(), p.len);
        return child_failed(p);
      }
      ep(pcb, 62, ce->cchld.get());
      if (p.h) pi_read(pcb, FM_OP_RID);
    }
  }
  if (p.h) {
    // The record as it was, for the log once the delete succeeded.
    std::vector<uint8_t> gone;
    bool log = logs(p);
    if (log) gone.assign(p.rec, p.rec + p.len);
    trace(pcb, 604100, p.h);
    FmArb* held = p.fc ? p.fc->held.get() : nullptr;
    int ok = 0;
    if (held && held != p.h && fm_is_handle(held)) {
      FmArbKeep keep(held);
      held->op = 0;
      ok = fm_del(held);
    }
    if (!ok) {
      p.h->op = 0;
      ok = dyna_del(pcb, p.h);
    }
    if (!ok) {
      file_failed(p);
      return 0;
    }
    if (log) {
      auto* r = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), p.len));
      std::memcpy(r, gone.data(), p.len);
      Log(p).whole(kMlogDel, r);
      mm_free(r);
    }
  }
  if (ep(pcb, 5)) {
    result(pcb, kPiRsEp05);
    return 0;
  }
  return 1;
}

// ============================================ a field of the own record ==
bool pi_pcf_field_text(Pcb* pcb, const char* app, const char* field, int occ, int width, std::string* out,
                       std::string* label, DElem* elem, const uint8_t** value) {
  Pcf p = pcf_of(pcb);
  if (!p.cfi || !p.rec || width <= 0) return false;
  std::vector<DElem> fields;
  std::string ver;
  if (std::memcmp(p.cfi->fdb.app.data(), app, 3) != 0 || !pcf_fields(p, &fields, &ver)) return false;
  std::string want(field);
  while (!want.empty() && want.back() == ' ') want.pop_back();
  for (const DElem& e : fields) {
    if (e.name.trimmed() != want) continue;
    int o = std::clamp(occ, 1, std::max<int>(1, e.occurs)) - 1;
    size_t at = size_t(e.offset) + size_t(e.length) * size_t(o);
    if (at + e.length > p.len) return false;
    if (label) *label = std::string(e.label.trimmed());
    if (elem) *elem = e;
    if (value) *value = p.rec + at;
    char a[4] = {};
    std::memcpy(a, app, 3);
    return show(e, p.rec + at, width, a, ver.c_str(), out);
  }
  return false;
}

bool pi_field_text(const DElem& e, const uint8_t* value, int width, const char* app, const char* ver,
                   std::string* out) {
  return value && width > 0 && show(e, value, std::min(width, 511), app, ver, out);
}

// ============================================================= look-ups ==
int pi_lookup_read(PiFileCtl* ctl, int key_no, uint8_t* rec, bool exact) {
  FmArb* h = ctl ? ctl->handle.get() : nullptr;
  if (!h || !rec) return 0;
  PROTO_FULL(h, key_no, rec);
  h->op = exact ? FM_OP_EQUAL : 0;
  int found = fm_read(h) == 1;
  h->op = 0;
  return found;
}

// ===================================================== modification log ==
int pi_mlog_open(Pcb* pcb) {
  pi_mlog_close(pcb);
  FmFdb fdb;
  INIT_FDB(&fdb, FM_CLASS_DISK, int(sizeof(PiModLog)), 0, nullptr, 0);
  int scope = pcb->pool_scope ? int(pcb->pool_scope) : com.depth;
  INIT_TMP_PATH(&fdb, "0LA", "00", "STDMLOG ", scope);
  if (!FM_CREATE(&fdb, scope, 0, 0, 15, 15)) {
    sys_err(__LINE__, "runtime STDMLOG file create failed");
    return 0;
  }
  pcb->mod_log.set(fdb.handle.get());
  return 1;
}

void pi_mlog_close(Pcb* pcb) {
  if (FmArb* f = pcb->mod_log.get(); f && fm_is_handle(f)) FM_CLOSE(f, FM_CL_SCRATCH);
  pcb->mod_log.reset();
}

// ========================================================== dynamic key ==
namespace {
FILE* g_dyna_log = nullptr;

PiDyna* dyna_of(Pcb* pcb) {
  return pcb && pcb->invoc.type == 2 ? static_cast<PiDyna*>(pcb->dyna.get()) : nullptr;
}

// The file-manager segment type of a field's data type; 0 none.
uint8_t dyna_seg_type(int type, bool* split) {
  *split = false;
  switch (type) {
    case 1: case 2: case 3: case 4: case 8: case 9: case 10: case 11: case 12: case 13: case 15:
      return FM_SEG_ALPHA;
    case 5: return FM_SEG_BINARY;
    case 6: case 7: *split = true; return FM_SEG_BINARY;
    default: return 0;
  }
}

void drop_file(PiDyna* d) {
  if (FmArb* b = d->by_id.get(); b && fm_is_handle(b)) fm_detach(b);
  if (FmArb* f = d->file.get(); f && fm_is_handle(f)) FM_CLOSE(f, FM_CL_SCRATCH);
  d->by_id.reset();
  d->file.reset();
  if (d->buf) mm_free(d->buf.get());
  d->buf.reset();
}

void drop_dyna_file(PiDyna* d) { drop_file(d); }

void dyna_drop(Pcb* pcb) {
  auto* d = static_cast<PiDyna*>(pcb->dyna.get());
  if (!d) return;
  drop_file(d);
  for (PiDynaSeg* s = d->first.get(); s;) {
    PiDynaSeg* n = s->next.get();
    mm_free(s);
    s = n;
  }
  mm_free(d);
  pcb->dyna.reset();
}

// The entry of the current record: its segment values, then its id.
void build_entry(PiDyna* d, uint32_t rid) {
  uint8_t* b = d->buf.get();
  for (const PiDynaSeg* s = d->first.get(); s; s = s->next.get()) {
    std::memcpy(b, s->field.get(), s->length);
    b += s->length;
  }
  std::memcpy(d->buf.get() + d->rid_at, &rid, 4);
}
uint32_t entry_rid(const PiDyna* d) {
  uint32_t rid;
  std::memcpy(&rid, d->buf.get() + d->rid_at, 4);
  return rid;
}

void dyna_note(const char* label, Pcb* pcb) {
  if (g_dyna_log) dyna_dump_rec(label, pcb, static_cast<PiDyna*>(pcb->dyna.get())->buf.get());
}

// Positions the second handle on (and holds) the entry of the record id.
bool hold_entry(PiDyna* d, uint32_t rid) {
  FmArb* b = d->by_id.get();
  PROTO_FULL(b, 1, d->buf.get());
  std::memcpy(d->buf.get() + d->rid_at, &rid, 4);
  b->op = FM_OP_EQUAL | FM_OP_HOLD;
  int ok = fm_read(b);
  b->op = 0;
  return ok != 0;
}

// After a DYN read: the PCF record of the entry's id, or the DYN status.
int fetch(PiDyna* d, FmArb* f, FmArb* h, int ok) {
  if (!ok) {
    h->status = f->status;
    h->os_err = f->os_err;
    return 0;
  }
  uint16_t op = h->op;
  h->rid = entry_rid(d);
  h->op = uint16_t((op & ~FM_OP_FIRST) | FM_OP_RID);
  h->lock_wait = f->lock_wait;
  int r = fm_read(h);
  h->op = op;
  return r;
}
}  // namespace

int pi_dyna_add(Pcb* pcb, const PiDynaSeg* seg) {
  if (!seg) {
    dyna_drop(pcb);
    return 1;
  }
  bool split;
  if (!dyna_seg_type(seg->type, &split) || seg->length == 0 || !seg->field) return 0;
  auto* d = static_cast<PiDyna*>(pcb->dyna.get());
  if (d && d->file) {
    dyna_drop(pcb);
    d = nullptr;
  }
  if (!d) {
    d = static_cast<PiDyna*>(MM_ALLOC(pi_pool(), sizeof(PiDyna)));
    std::memset(static_cast<void*>(d), 0, sizeof *d);
    pcb->dyna.set(d);
  }
  PiDynaSeg* last = nullptr;
  bool found = false;
  for (PiDynaSeg* s = d->first.get(); s && !found; s = s->next.get()) {
    if (s->field.get() == seg->field.get()) {
      s->order = s->order == '-' ? '+' : '-';
      found = true;
    }
    last = s;
  }
  if (!found) {
    auto* n = static_cast<PiDynaSeg*>(MM_ALLOC(pi_pool(), sizeof(PiDynaSeg)));
    std::memcpy(static_cast<void*>(n), seg, sizeof *n);
    n->next.reset();
    if (n->order != '-') n->order = '+';
    if (last) last->next.set(n);
    else d->first.set(n);
    d->count = d->count + 1;
  }
  if (FmArb* q = pcb->msg_file.get(); q && fm_is_handle(q)) {
    std::string t = pi_dyna_text(pcb);
    LaText text{uint16_t(t.size()), t.data()};
    la_add_msg(4, q, 300710, 0, &text);
  }
  return 1;
}

std::string pi_dyna_text(Pcb* pcb) {
  std::string t;
  auto* d = static_cast<PiDyna*>(pcb->dyna.get());
  for (const PiDynaSeg* s = d ? d->first.get() : nullptr; s; s = s->next.get()) {
    std::string n(s->name.data(), 60);
    rtrim(&n);
    if (!t.empty()) t += ", ";
    t += n;
    if (s->order == '-') t += "(-)";
  }
  return t;
}

FmArb* dyna_create(Pcb* pcb) {
  auto* d = static_cast<PiDyna*>(pcb->dyna.get());
  if (!d || !d->first) return nullptr;
  if (d->file) return d->file.get();
  dyna_init();
  // Key 0: the segments, then the record id; key 1: the record id.
  std::vector<FmSdb> segs;
  uint16_t at = 0;
  for (const PiDynaSeg* s = d->first.get(); s; s = s->next.get()) {
    bool split;
    uint8_t t = dyna_seg_type(s->type, &split);
    FmSdb g;
    init_sdb_func(&g, int(segs.size()) + 1, at, split ? 4 : s->length, t, s->order);
    segs.push_back(g);
    if (split && s->length == 8) {
      init_sdb_func(&g, int(segs.size()) + 1, at + 4, 4, t, s->order);
      segs.push_back(g);
    }
    at = uint16_t(at + s->length);
  }
  d->rid_at = at;
  d->rec_len = uint16_t(at + 4);
  if (size_t(at) + 4 > FM_MAX_KEY_LEN) {
    dyna_drop(pcb);
    return nullptr;
  }
  MmPool pool = pi_pool();
  size_t n = segs.size();
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * (n + 2)));
  for (size_t i = 0; i < n; ++i) sdb[i] = segs[i];
  init_sdb_func(&sdb[n], int(n) + 1, at, 4, FM_SEG_BINARY, '+');
  init_sdb_func(&sdb[n + 1], int(n) + 2, at, 4, FM_SEG_BINARY, '+');
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, 2 * sizeof(FmKdb)));
  INIT_KDB(&kdb[0], 0, '+', FM_KEY_PRIMARY, sdb, int(n) + 1);
  INIT_KDB(&kdb[1], 1, '+', 0, sdb + n + 1, 1);
  FmFdb fdb;
  INIT_FDB(&fdb, FM_CLASS_MEMORY, d->rec_len, 0, kdb, 2);
  char name[9];
  std::snprintf(name, sizeof name, "%08X", arena::offset_of(pcb));
  INIT_DB_PATH(&fdb, "DYN", " PI", "00", name, FM_PT_DATA);
  int scope = pcb->pool_scope ? int(pcb->pool_scope) : com.depth;
  int made = FM_CREATE(&fdb, scope, 1000, 0, 15, 15);
  mm_free(kdb);
  mm_free(sdb);
  if (!made) {
    dyna_drop(pcb);
    return nullptr;
  }
  d->file.set(fdb.handle.get());
  d->buf.set(static_cast<uint8_t*>(MM_ALLOC(pool, d->rec_len)));
  std::memset(d->buf.get(), 0, d->rec_len);
  FmArb* by_id = FM_ATTACH(d->file.get(), nullptr, scope);
  if (!by_id) {
    dyna_drop(pcb);
    return nullptr;
  }
  d->by_id.set(by_id);
  PROTO_FULL(d->file.get(), 0, d->buf.get());
  PROTO_FULL(by_id, 1, d->buf.get());
  if (!dyna_populate(pcb)) {
    dyna_drop(pcb);
    return nullptr;
  }
  return d->file.get();
}

int dyna_populate(Pcb* pcb) {
  auto* d = static_cast<PiDyna*>(pcb->dyna.get());
  FmArb* h = pcb->pcf_stream.get();
  if (!d || !h) return 0;
  long limit = 1000;
  if (const char* v = std::getenv("QUVO_DYNAKEY_PROMPT"); v && *v) limit = std::strtol(v, nullptr, 0);
  // Plain reads below: the state is detached while the file fills.
  pcb->dyna.reset();
  std::vector<std::string> values;
  for (const PiDynaSeg* s = d->first.get(); s; s = s->next.get())
    values.emplace_back(reinterpret_cast<const char*>(s->field.get()), s->length);
  uint16_t op = h->op;
  uint8_t key_no = h->key_no;
  int result_word = pcb->invoc.completion;
  PdArea11* a11 = phase_rec(pcb);
  uint8_t ph = a11 ? uint8_t(a11->phase) : 0;
  if (a11) a11->phase = 5;
  h->key_no = 0;
  if (g_dyna_log) std::fprintf(g_dyna_log, "Populate...\n");
  auto* st = pi_area_rec<PdStatus>(pcb, 7);
  long count = 0;
  int answer = 1;
  uint16_t next = FM_OP_FIRST;
  while (pi_rdnxt(pcb, next)) {
    next = 0;
    if (count++ == limit && cancel_dynakey(pcb)) {
      answer = 0;
      break;
    }
    if (st && st->include_record == "0") continue;
    build_entry(d, h->rid);
    PROTO_FULL(d->file.get(), 0, d->buf.get());
    if (!fm_write(d->file.get())) {
      answer = 0;
      break;
    }
  }
  size_t i = 0;
  for (PiDynaSeg* s = d->first.get(); s; s = s->next.get()) std::memcpy(s->field.get(), values[i++].data(), s->length);
  h->op = op;
  h->key_no = key_no;
  pcb->invoc.completion = result_word;
  if (a11) a11->phase = ph;
  pcb->dyna.set(d);
  return answer;
}

bool cancel_dynakey(Pcb* pcb) {
  PiInvoc v;
  os_invoc_template(&v);
  v.app.set("0LA");
  v.ver.set("00");
  v.type = 2;
  v.name.set("CANCEL DYNAKEY");
  v.kind = 0;
  v.surface1 = pcb->surface1;
  v.surface2 = pcb->surface2;
  v.parent_pcb.set(pcb);
  // Without its definition there is no one to ask: the fill goes on (a run
  // that cannot start ends with 4 too, which is no cancel).
  auto* def = static_cast<DProc*>(MM_ALLOC(pi_pool(), sizeof(DProc)));
  uint32_t status = 0;
  int defined = read_dproc(v, def, nullptr, &status);
  mm_free(def);
  if (defined != 1) return false;
  pi_exec(&v);
  return v.completion == 4;
}

int dyna_read(Pcb* pcb, FmArb* h) {
  PiDyna* d = dyna_of(pcb);
  if (!d || (!d->file && !dyna_create(pcb))) return fm_read(h);
  uint16_t op = h->op;
  FmArb* f = d->file.get();
  if (op & FM_OP_RID) {
    f = d->by_id.get();
    PROTO_FULL(f, 1, d->buf.get());
    uint32_t rid = h->rid;
    std::memcpy(d->buf.get() + d->rid_at, &rid, 4);
    f->op = FM_OP_EQUAL;
  } else if (op & FM_OP_FIRST) {
    PROTO_FULL(f, 0, d->buf.get());
    f->op = FM_OP_FIRST;
  } else {
    build_entry(d, 0);
    PROTO_FULL(f, 0, d->buf.get());
    f->key.set(d->buf.get());
    f->key_len = d->rid_at;
    f->op = uint16_t((op & ~kHold) | FM_OP_KEY);
  }
  int ok = fm_read(f);
  f->op = 0;
  f->key.reset();
  f->key_len = 0;
  return fetch(d, f, h, ok);
}

int dyna_rdnxt(Pcb* pcb, FmArb* h) {
  PiDyna* d = dyna_of(pcb);
  if (!d || (!d->file && !dyna_create(pcb))) return fm_rdnxt(h);
  FmArb* f = d->file.get();
  PROTO_FULL(f, 0, d->buf.get());
  f->op = uint16_t(h->op & FM_OP_FIRST);
  int ok = fm_rdnxt(f);
  f->op = 0;
  return fetch(d, f, h, ok);
}

int dyna_write(Pcb* pcb, FmArb* h) {
  int ok = fm_write(h);
  PiDyna* d = dyna_of(pcb);
  if (ok && d && d->file) {
    build_entry(d, h->rid);
    dyna_note("Write", pcb);
    PROTO_FULL(d->file.get(), 0, d->buf.get());
    fm_write(d->file.get());
  }
  return ok;
}

// The entry changes through the second handle, which holds it: the main
// handle holds nothing, so a change through it would fail unseen and the
// browse order go stale.
int dyna_rewrite(Pcb* pcb, FmArb* h) {
  PiDyna* d = dyna_of(pcb);
  bool held = d && d->file && hold_entry(d, h->rid);
  if (held) dyna_note("Rewrite - before", pcb);
  int ok = fm_rewrite(h);
  if (!held) return ok;
  if (ok) {
    build_entry(d, h->rid);
    dyna_note("Rewrite - after", pcb);
    if (!fm_rewrite(d->by_id.get())) fm_release(d->by_id.get());
  } else {
    fm_release(d->by_id.get());
  }
  return ok;
}

int dyna_del(Pcb* pcb, FmArb* h) {
  PiDyna* d = dyna_of(pcb);
  bool held = d && d->file && hold_entry(d, h->rid);
  if (held) dyna_note("Delete", pcb);
  int ok = fm_del(h);
  if (!held) return ok;
  if (ok) {
    if (!fm_del(d->by_id.get())) fm_release(d->by_id.get());
  } else {
    fm_release(d->by_id.get());
  }
  return ok;
}

void dyna_init() {
  if (!g_dyna_log) g_dyna_log = os_open_log("QUVO_DYNA_LOG");
}

void dyna_dump(Pcb* pcb) {
  auto* d = static_cast<PiDyna*>(pcb->dyna.get());
  if (!g_dyna_log || !d || !d->file) return;
  FmArb* f = d->by_id.get();
  auto* b = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), d->rec_len));
  FmArbKeep keep(f);
  PROTO_FULL(f, 0, b);
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = 0;
  while (fm_rdnxt(f)) dyna_dump_rec(nullptr, pcb, b);
  mm_free(b);
}

void dyna_dump_rec(const char* label, Pcb* pcb, const uint8_t* entry) {
  auto* d = static_cast<PiDyna*>(pcb->dyna.get());
  if (!g_dyna_log || !d || !entry) return;
  if (label) std::fprintf(g_dyna_log, "%s ", label);
  for (uint16_t i = 0; i < d->rec_len; ++i) {
    uint8_t c = entry[i];
    if (c >= 0x20 && c < 0x7F) std::fputc(c, g_dyna_log);
    else std::fprintf(g_dyna_log, "\\%02x", c);
  }
  std::fputc('\n', g_dyna_log);
  std::fflush(g_dyna_log);
}

int pi_chld_cns(Pcb* caller, uint32_t seq, PiInvoc* v) {
  Pcf p = pcf_of(caller);
  PcbChildEnt* ce = child(p, seq);
  if (!ce) return 0;
  const EmCchld* c = ce->cchld.get();
  if (c->invoc.cns_count == 0 || !c->invoc.cns_descs) return 0;
  gather(p, ce);
  if (!ce->values) return 0;
  v->cns_values = ce->values;
  v->cns_total = ce->len;
  return 1;
}
