// File statements at run time (ibfi.h gives the layouts and decisions).
//
// The status rule of a failing statement: its level F, the status into the
// file status field (data area 11), its text into ii_fi_msg, and by the
// error mode a warning, an error, or the status shown and the process
// cancelled (OPTION 278, completion code 3). Run-time errors that end the
// event point: 300300 file not open, 200580 REWRITE or DELETE without a
// held record, a failed DELETE with the file manager's status, 300380 END
// READ without a running loop.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/pd.h"
#include "foundation/ut.h"
#include "files/fmcat.h"
#include "language/ibctl.h"
#include "language/ibfi.h"
#include "language/ibtst.h"
#include "language/iiutil.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pishr.h"

namespace {

constexpr uint32_t kNotOpen = 300300;
constexpr uint32_t kNoLoop = 300380;
constexpr uint32_t kNoFile = 200180;
constexpr uint32_t kOpenLock = 300290;

char g_msg[80];
size_t g_msg_len = 0;
IiFiAccessCheck g_access = nullptr;

bool live(const FmArb* a) { return a && fm_is_handle(a); }
bool lock_status(uint32_t st) { return st == FM_ST_HELD_SELF || st == FM_ST_LOCKED || st == FM_ST_LOCK_TIMEOUT; }

// The data area of index ix of the running PCB (a field index kept as a
// number: checked against the module's table), or null.
uint8_t* area_ix(IlfExecBlock* b, uint32_t ix) {
  Pcb* pcb = b->pcb;
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  Ref<uint8_t>* addr = pcb ? pcb->area_addr.get() : nullptr;
  if (!em || !addr || ix == 0 || ix > em->n_areas) return nullptr;
  return addr[ix].get();
}
// A compiled reference's area field: an index into the area address array,
// or (once the loader has relocated it) the arena reference of its word.
uint8_t* area_of(IlfExecBlock* b, uint32_t ira) {
  Pcb* pcb = b->pcb;
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  if (!em) return nullptr;
  if (ira <= em->n_areas) return area_ix(b, ira);
  const Ref<uint8_t>* arr = em->area_addr.get();
  if (!arr) return nullptr;
  uint32_t base = arena::offset_of(arr);
  if (ira <= base || (ira - base) % 4 != 0) return nullptr;
  return area_ix(b, (ira - base) / 4);
}

PiFileCtl* fca_at(const uint8_t* p) { return reinterpret_cast<PiFileCtl*>(ii_field(p)); }
PiReadCursor* cursor_at(const uint8_t* p) { return reinterpret_cast<PiReadCursor*>(ii_field(p)); }

// The handle of a control area, when it is still a live handle of the
// file it was opened on; a dead one is forgotten.
FmArb* open_handle(PiFileCtl* f) {
  if (!f) return nullptr;
  FmArb* h = f->handle.get();
  if (live(h)) return h;
  f->handle.reset();
  return nullptr;
}
FmArb* held_handle(PiFileCtl* f) {
  FmArb* h = f ? f->held.get() : nullptr;
  FmArb* o = f ? f->handle.get() : nullptr;
  if (live(h) && live(o) && h->file.get() == o->file.get()) return h;
  if (f) f->held.reset();
  return nullptr;
}
// Lets the held record go and forgets the holder.
void drop_held(PiFileCtl* f) {
  if (FmArb* h = held_handle(f)) fm_release(h);
  if (f) f->held.reset();
}

bool admitted(IlfExecBlock* b, const EmCfi* cfi, const uint8_t* record) {
  return !g_access || g_access(b->pcb, cfi, record);
}

void set_msg(uint32_t st) {
  std::memset(g_msg, ' ', 79);
  g_msg[79] = 0;
  char buf[256];
  LaText t{uint16_t(sizeof buf), buf};
  int sev = 0;
  size_t n = size_t(std::max(0, la_xlate(st, &t, &sev)));
  n = std::min<size_t>(ut_buflen(buf, n), 79);
  std::memcpy(g_msg, buf, n);
  g_msg_len = n;
}

// The file status field and the message text of a status.
void note_status(IlfExecBlock* b, uint32_t st) {
  if (auto* a11 = pi_area_rec<PdArea11>(b->pcb, 11)) a11->file_status = st;
  set_msg(st);
}

// The status rule (see the header): returns after error modes 0-2.
void status_rule(IlfExecBlock* b, IlfState* s, uint32_t level, uint32_t st, int mode, const FmFdb* fdb) {
  s->mask = ii_set_tf(s->mask, 2, level);
  note_status(b, st);
  if (mode == 1 || mode == 2) {
    add_wrn_err(b->pcb, g_msg, g_msg_len, mode);
  } else if (mode == 3) {
    mini_scr(b, st, fdb);
    if (PcbStatus* ps = pcb_status(b->pcb)) ps->option = 278;
    ii_end_ep(b, s);
    ut_unwind(3);
  }
}
void ok(IlfState* s, uint32_t level) { s->mask = ii_set_tf(s->mask, 1, level); }

// ------------------------------------------------------- path preparation --
// The work descriptor of a file: the compiled one with the identity the
// system data fields give it (next database, application, version and
// path, the design target), a memory-resident file in its class owner's
// pool.
FmFdb work_fdb(IlfExecBlock* b, const PiFileCtl* f, const EmCfi* cfi, bool open) {
  FmFdb w = cfi->fdb;
  w.handle.reset();
  w.status = 0u;
  w.os_err = 0;
  Pcb* pcb = b->pcb;
  auto* st = pi_area_rec<PdStatus>(pcb, 7);
  auto* a9 = pi_area_rec<PdArea9>(pcb, 9);
  const bool memory = pi_cfi_memory(cfi);
  if (w.app == "0AD") {
    if (st && !st->next_app.blank()) {
      std::memcpy(w.src_app.data(), st->next_app.data(), 3);
      std::memset(st->next_app.data(), ' ', 3);
    } else if (a9) {
      std::memcpy(w.src_app.data(), a9->design_app.data(), 3);
    }
    if (st && !st->next_ver.blank()) {
      std::memcpy(w.src_ver.data(), st->next_ver.data(), 2);
      std::memset(st->next_ver.data(), ' ', 2);
    } else if (a9) {
      std::memcpy(w.src_ver.data(), a9->design_ver.data(), 2);
    }
    if (IS_ZUB_AP(w.src_app.data())) w.src_ver.set("00");
  } else if (!(w.app == "0SU" || w.app == "0SA" || w.app == "0DB" || w.app == "0LA")) {
    // An OPEN's own flags hide the memory bit here: it consumes the next
    // database only for path type 2.
    bool next_db = (!open && memory) || w.path_type == 2;
    if (next_db && st && !st->next_db.blank()) {
      std::memcpy(w.db.data(), st->next_db.data(), 3);
      std::memset(st->next_db.data(), ' ', 3);
    } else if (!memory && a9) {
      std::memcpy(w.db.data(), a9->cur_db.data(), 3);
    } else {
      std::memset(w.db.data(), ' ', 3);
    }
  }
  if (!w.src_app.blank() && w.src_ver.blank()) w.src_ver.set("00");
  if (w.path_type == 2) std::memset(w.db.data(), ' ', 3);
  uint32_t o = w.options;
  if (st && !st->next_path.blank()) {
    char path[257];
    std::memcpy(path, st->next_path.data(), 256);
    path[256] = 0;
    fm_set_next_path(path);
    std::memset(st->next_path.data(), ' ', 256);
    o |= FM_OPT_NEXT_PATH;
  } else {
    o &= ~FM_OPT_NEXT_PATH;
  }
  w.options = o;
  if (memory) {
    w.fclass = FM_CLASS_MEMORY;
    w.pool = f && f->owner_pool ? uint32_t(f->owner_pool) : 0u;
  } else {
    w.pool = 0u;
  }
  return w;
}

uint32_t mem_opts(const EmCfi* cfi, const FmFdb& w) { return pi_cfi_memory(cfi) && w.pool ? FM_OPT_MEMORY : 0u; }
int scope_of(const PiFileCtl* f) { return f && f->pool ? int(f->pool) : com.depth; }

// A handle the statement opened: its record buffer is the file's record area.
void attach_handle(IlfExecBlock* b, PiFileCtl* f, const EmCfi* cfi, FmArb* h) {
  f->handle.set(h);
  f->held.reset();
  if (uint8_t* r = area_of(b, cfi->rec_ira)) h->rec.set(r);
}

// ------------------------------------------------------------ handlers --
uint8_t* inst_if_exist(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiLvl>(pc);
  if (in.b == 1) {
    status_rule(b, s, in.level, kNoFile, in.a, nullptr);
    return ii_adv(pc, 16);
  }
  auto* f = reinterpret_cast<PiFileCtl*>(area_ix(b, in.entry));
  EmCfi* cfi = f ? f->cfi.get() : nullptr;
  if (!cfi) return ii_no_field(b, s, "inst_if_exist");
  FmFdb w = work_fdb(b, f, cfi, false);
  w.options = w.options | mem_opts(cfi, w);
  if (fm_locate(&w)) ok(s, in.level);
  else status_rule(b, s, in.level, w.status, in.a, &w);
  return ii_adv(pc, 16);
}

// OPEN and CREATE: 200660 sets F and the status, no message; without a
// TIMEOUT in force the status is shown (300290) and CANCEL there cancels.
uint8_t* open_locked(IlfExecBlock* b, IlfState* s, uint8_t* next, uint32_t level, const FmFdb* w) {
  s->mask = ii_set_tf(s->mask, 2, level);
  if (auto* a11 = pi_area_rec<PdArea11>(b->pcb, 11)) a11->file_status = FM_ST_LOCK_TIMEOUT;
  if (s->timeout_secs < 0) {
    if (mini_scr(b, kOpenLock, w)) {
      if (PcbStatus* ps = pcb_status(b->pcb)) ps->option = 278;
      ii_end_ep(b, s);
      ut_unwind(3);
    }
    return next;
  }
  return s->timeout_label ? s->timeout_label : next;
}

uint32_t sys_opts(const FmFdb& w) {
  return w.app == "0SU" || w.app == "0SA" || w.app == "0DB" || w.app == "0LA" ? FM_OPT_NO_SYSDIR : 0u;
}

uint8_t* inst_create(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiLvl>(pc);
  PiFileCtl* f = fca_at(pc + 8);
  EmCfi* cfi = f ? f->cfi.get() : nullptr;
  if (!cfi) return ii_no_field(b, s, "inst_create");
  FmFdb w = work_fdb(b, f, cfi, false);
  // A plain create: a file that exists already is refused (200160), never
  // opened in its place.
  uint32_t opts = FM_OPT_BASE | mem_opts(cfi, w) | (w.options & FM_OPT_NEXT_PATH);
  if (w.app == "0SU" || w.app == "0SA" || w.app == "0DB") opts |= FM_OPT_NO_SYSDIR;
  int share = in.a == '1' ? 15 : 1;
  FmFdb c = w;
  int made = FM_CREATE(&c, scope_of(f), 0, opts, 15, share);
  if (made) {
    attach_handle(b, f, cfi, c.handle.get());
    ok(s, in.level);
    return ii_adv(pc, 16);
  }
  if (c.status == FM_ST_LOCK_TIMEOUT) return open_locked(b, s, ii_adv(pc, 16), in.level, &c);
  status_rule(b, s, in.level, c.status, in.b, &c);
  return ii_adv(pc, 16);
}

uint8_t* inst_scratch(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiLvl>(pc);
  PiFileCtl* f = fca_at(pc + 8);
  EmCfi* cfi = f ? f->cfi.get() : nullptr;
  if (!cfi) return ii_no_field(b, s, "inst_scratch");
  if (FmArb* h = open_handle(f)) {
    drop_held(f);
    FM_CLOSE(h, FM_CL_KEEP);
  }
  f->handle.reset();
  f->held.reset();
  FmFdb w = work_fdb(b, f, cfi, false);
  w.options = w.options | mem_opts(cfi, w);
  if (FM_SCRATCH(&w, int(cfi->fdb.options)) || w.status == FM_ST_NOT_FOUND) ok(s, in.level);
  else status_rule(b, s, in.level, w.status, in.a, &w);
  return ii_adv(pc, 16);
}

uint8_t* inst_open(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiOpen>(pc);
  PiFileCtl* f = fca_at(pc + 8);
  EmCfi* cfi = f ? f->cfi.get() : nullptr;
  if (!cfi) return ii_no_field(b, s, "inst_open");
  auto* st = pi_area_rec<PdStatus>(b->pcb, 7);
  FmFdb w;
  if (cfi->fdb.app == "0DO") {
    // The identity comes from the current record of "OLDPATH " of "0LA".
    auto* op = reinterpret_cast<PiFileCtl*>(area_ix(b, in.oldpath));
    EmCfi* ocfi = op ? op->cfi.get() : nullptr;
    uint8_t* orec = ocfi ? area_of(b, ocfi->rec_ira) : nullptr;
    if (!open_handle(op) || !orec) return ii_fail(b, s, kNotOpen);
    w = cfi->fdb;
    std::memcpy(&w, orec, FM_PATH_LEN);
    w.handle.reset();
    w.kdb.reset();
    w.key_count = 0;
    w.status = 0u;
  } else {
    w = work_fdb(b, f, cfi, true);
  }
  w.stamp[0] = 0xFFFFFFFFu;
  w.stamp[1] = 0xFFFFFFFFu;
  uint32_t opts = FM_OPT_BASE | mem_opts(cfi, w) | sys_opts(w) | (w.options & FM_OPT_NEXT_PATH);
  // OPEN of an open file opens it afresh.
  if (FmArb* h = open_handle(f)) {
    drop_held(f);
    FM_CLOSE(h, FM_CL_KEEP);
    f->handle.reset();
  }
  int share = in.excl == '1' ? 15 : 1;
  int opened = FM_OPEN(&w, scope_of(f), opts, 15, share);
  if (!opened) {
    if (st) std::memset(st->next_lang.data(), ' ', 3);
    if (w.status == FM_ST_LOCK_TIMEOUT) return open_locked(b, s, ii_adv(pc, 20), in.level, &w);
    status_rule(b, s, in.level, w.status, in.mode, &w);
    return ii_adv(pc, 20);
  }
  FmArb* h = w.handle.get();
  attach_handle(b, f, cfi, h);
  if (cfi->xlate & 1) {
    char lang[4] = {};
    if (st && !st->next_lang.blank()) std::memcpy(lang, st->next_lang.data(), 3);
    else std::memcpy(lang, com.language.data(), 3);
    fm_set_lang(h, "ENG", lang);
  }
  if (st) std::memset(st->next_lang.data(), ' ', 3);
  ok(s, in.level);
  return ii_adv(pc, 20);
}

uint8_t* inst_close(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiEntry>(pc);
  PiFileCtl* f = fca_at(pc + 4);
  if (!f) return ii_no_field(b, s, "inst_close");
  if (FmArb* h = open_handle(f)) {
    drop_held(f);
    FM_CLOSE(h, in.option == '1' ? FM_CL_KEEP : FM_CL_NO_EVENT);
  }
  f->handle.reset();
  f->held.reset();
  return ii_adv(pc, 12);
}

uint8_t* inst_write(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiLvl>(pc);
  PiFileCtl* f = fca_at(pc + 8);
  FmArb* h = open_handle(f);
  if (!h) return ii_fail(b, s, kNotOpen);
  drop_held(f);
  h->rec_len = 0;
  h->op = 0;
  if (fm_write(h)) ok(s, in.level);
  else status_rule(b, s, in.level, h->status, in.a, &h->file->fdb);
  return ii_adv(pc, 16);
}

uint8_t* inst_rewrite(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiLvl>(pc);
  PiFileCtl* f = fca_at(pc + 8);
  if (!f) return ii_no_field(b, s, "inst_rewrite");
  FmArb* h = open_handle(f) ? held_handle(f) : nullptr;
  if (!h) return ii_fail(b, s, FM_ST_NOT_HELD);
  h->rec_len = 0;
  h->op = 0;
  int done = fm_rewrite(h);
  uint32_t st = h->status;
  // A refused change leaves nothing held behind.
  if (!done) fm_release(h);
  f->held.reset();
  if (done) {
    ok(s, in.level);
    return ii_adv(pc, 16);
  }
  if (st == FM_ST_NOT_HELD) return ii_fail(b, s, FM_ST_NOT_HELD);
  status_rule(b, s, in.level, st, in.a, &h->file->fdb);
  return ii_adv(pc, 16);
}

uint8_t* inst_delete(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  PiFileCtl* f = fca_at(pc + 4);
  if (!f) return ii_no_field(b, s, "inst_delete");
  FmArb* h = open_handle(f) ? held_handle(f) : nullptr;
  if (!h) return ii_fail(b, s, FM_ST_NOT_HELD);
  h->lock_wait = s->timeout_secs;
  h->op = 0;
  int done = fm_del(h);
  uint32_t st = h->status;
  if (!done) fm_release(h);
  f->held.reset();
  if (!done) {
    note_status(b, st);
    return ii_fail(b, s, st ? st : FM_ST_NOT_HELD);
  }
  return ii_adv(pc, 8);
}

// The record number of a record-number file from register 1.
bool record_no(const IlfState* s, const IbFiRead& in, uint32_t* rid) {
  const uint8_t* p = s->addr[0];
  if (!p) return false;
  int len = in.key_len;
  if (in.key_type == kIiBin) {
    *rid = len == 4 ? rec::view<rec::U32>(const_cast<uint8_t*>(p)).get() : len == 2 ? uint32_t(p[0] | p[1] << 8) : p[0];
    return true;
  }
  int digits = in.key_type == kIiPdVar ? len - 1 : len;
  int scale = in.key_type == kIiPdVar ? int8_t(p[len - 1]) : 0;
  uint8_t v[16];
  bool good = digits >= 1 && digits <= 16 && scale >= kIiMinScale && scale <= kIiMaxScale && pd_set(v, 16, p, digits) &&
              pd_shft(v, 16, -scale);
  int64_t x = good ? pd_cvb64(v, 16, &good) : 0;
  if (!good || x < 0 || x > int64_t(UINT32_MAX)) return false;
  *rid = uint32_t(x);
  return true;
}

// The end of a READ or READNEXT that failed: a lock status with a TIMEOUT
// label set takes the label after the status rule.
uint8_t* read_failed(IlfExecBlock* b, IlfState* s, uint8_t* next, uint32_t level, uint32_t st, int mode, FmArb* h) {
  status_rule(b, s, level, st, mode, &h->file->fdb);
  if (lock_status(st) && s->timeout_label) return s->timeout_label;
  return next;
}

uint8_t* inst_read(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiRead>(pc);
  PiFileCtl* f = fca_at(pc + 8);
  FmArb* h = open_handle(f);
  if (!h) return ii_fail(b, s, kNotOpen);
  EmCfi* cfi = f->cfi.get();
  uint8_t* next = ii_adv(pc, 24);
  uint16_t op = uint16_t((in.op & (FM_OP_HOLD | FM_OP_WAIT)) | FM_OP_EQUAL);
  int org = cfi ? int(cfi->fdb.org) : FM_ORG_KEYED;
  h->key.reset();
  h->key_len = 0;
  if (org == FM_ORG_SINGLE) {
    h->rid = 1;
  } else if (org == FM_ORG_PLAIN) {
    uint32_t rid = 0;
    if (!record_no(s, in, &rid)) return read_failed(b, s, next, in.level, FM_ST_NO_RECORD, in.mode, h);
    h->rid = rid;
    op = uint16_t(op | FM_OP_RID);
  } else {
    h->key_no = in.key_no;
    f->key_no = in.key_no;
  }
  h->op = op;
  h->lock_wait = s->timeout_secs;
  int got = fm_read(h);
  uint32_t st = h->status;
  h->op = 0;
  bool hold = (op & FM_OP_HOLD) != 0;
  if (got && !admitted(b, cfi, h->rec.get())) {
    if (hold) fm_release(h);
    got = 0;
    st = FM_ST_NO_RECORD;
  }
  if (!got) return read_failed(b, s, next, in.level, st, in.mode, h);
  if (hold) f->held.set(h);
  ok(s, in.level);
  return next;
}

uint8_t* inst_readnext(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiReadNext>(pc);
  PiFileCtl* f = fca_at(pc + 8);
  FmArb* h = open_handle(f);
  if (!h) return ii_fail(b, s, kNotOpen);
  EmCfi* cfi = f->cfi.get();
  uint8_t* next = ii_adv(pc, 28);
  bool named = in.named == '0';
  uint8_t key_no = named ? uint8_t(in.key_no) : uint8_t(f->key_no);
  // A pending END AT becomes the active one.
  if (f->end_len) {
    f->act_end_len = f->end_len;
    f->act_end_range = f->end_range;
    f->end_len = 0;
  }
  h->key_no = key_no;
  if (f->beg_len && f->beg_key) {
    h->key.set(f->beg_key.get());
    h->key_len = f->beg_len;
    h->op = uint16_t(f->beg_range | FM_OP_AT | FM_OP_KEY);
    fm_start(h);
    h->key.reset();
    h->key_len = 0;
    f->beg_len = 0;
    f->key_no = key_no;
  } else if (named && key_no != f->key_no) {
    if (f->act_end_len) {
      h->op = FM_OP_FIRST;
      fm_start(h);
    }
    f->key_no = key_no;
  }
  uint16_t op = uint16_t(in.op & (FM_OP_HOLD | FM_OP_WAIT));
  bool hold = (op & FM_OP_HOLD) != 0;
  for (;;) {
    h->op = op;
    h->lock_wait = s->timeout_secs;
    int got = fm_rdnxt(h);
    uint32_t st = h->status;
    h->op = 0;
    if (!got) {
      if (st == FM_ST_EOF) f->act_end_len = 0;
      return read_failed(b, s, next, in.level, st, in.mode, h);
    }
    if (f->act_end_len && f->end_key) {
      h->key.set(f->end_key.get());
      h->key_len = f->act_end_len;
      int c = fm_key_cmp(h);
      h->key.reset();
      h->key_len = 0;
      if (c > 0 || (c == 0 && (f->act_end_range & 16))) {
        if (hold) fm_release(h);
        f->act_end_len = 0;
        return read_failed(b, s, next, in.level, FM_ST_EOF, in.mode, h);
      }
    }
    if (!admitted(b, cfi, h->rec.get())) {
      if (hold) fm_release(h);
      continue;
    }
    if (hold) f->held.set(h);
    ok(s, in.level);
    return next;
  }
}

// BEG AT and END AT: the key gathered from what register 1 addresses.
uint8_t* inst_at(IlfExecBlock* b, IlfState* s, uint8_t* pc, bool end) {
  auto& in = rec::view<IbFiAt>(pc);
  size_t len = 12 + 8 * size_t(in.segs);
  PiFileCtl* f = fca_at(pc + 4);
  if (!f) return ii_no_field(b, s, end ? "inst_end_at" : "inst_beg_at");
  Ref<uint8_t>& buf = end ? f->end_key : f->beg_key;
  if (!buf) {
    auto* k = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), FM_MAX_KEY_LEN));
    std::memset(k, 0, FM_MAX_KEY_LEN);
    buf.set(k);
  }
  const uint8_t* from = s->addr[0];
  uint8_t* to = buf.get();
  size_t at = 0;
  for (int i = 0; i < in.segs; ++i) {
    const auto& sg = rec::view<IbFiSeg>(pc + 12 + 8 * i);
    size_t n = sg.length;
    if (!from || at + n > FM_MAX_KEY_LEN) return ii_fail(b, s, kIiErrRuntime);
    std::memcpy(to + at, from + size_t(sg.offset), n);
    at += n;
  }
  if (end) {
    f->act_end_len = 0;
    f->end_range = in.range;
    f->end_len = uint16_t(at);
  } else {
    f->beg_range = in.range;
    f->beg_len = uint16_t(at);
    f->end_len = 0;
    f->act_end_len = 0;
  }
  return ii_adv(pc, len);
}
uint8_t* inst_beg_at(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return inst_at(b, s, pc, false); }
uint8_t* inst_end_at(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return inst_at(b, s, pc, true); }

// The open BEG READ entry of a cursor on the state's list, or null.
IiReadEntry* read_entry(IlfState* s, PiReadCursor* c) {
  auto* want = reinterpret_cast<rec::U32*>(&c->loop);
  for (auto* e = static_cast<IiReadEntry*>(s->reads.first.get()); e; e = static_cast<IiReadEntry*>(e->link.next.get()))
    if (e->back.get() == want) return e;
  return nullptr;
}

// Ends a loop: its stream detached (its record no longer held), the cursor
// and the state's entry cleared.
void end_loop(IlfState* s, PiFileCtl* f, PiReadCursor* c) {
  FmArb* st = c->stream.get();
  if (live(st)) {
    if (f && f->held.get() == st) f->held.reset();
    fm_release(st);
    fm_detach(st);
  }
  c->stream.reset();
  c->loop.reset();
  if (IiReadEntry* e = read_entry(s, c)) {
    ut_remove_from_lst(&s->reads, e, &e->link);
    mm_free(e);
  }
}

uint8_t* inst_beg_read_start(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiBegStart>(pc);
  PiFileCtl* f = fca_at(pc + 4);
  PiReadCursor* c = cursor_at(pc + 8);
  if (!c) return ii_no_field(b, s, "inst_beg_read_start");
  FmArb* h = open_handle(f);
  end_loop(s, f, c);
  if (!h) return ii_fail(b, s, kNotOpen);
  FmScbRange* r = nullptr;
  if ((f->beg_len && f->beg_key) || (f->end_len && f->end_key)) {
    r = static_cast<FmScbRange*>(MM_ALLOC(pi_pool(), sizeof(FmScbRange)));
    std::memset(static_cast<void*>(r), 0, sizeof *r);
    r->head.type = FM_SCB_RANGE;
    r->key_no = in.key_no;
    r->lo_range = f->beg_range;
    r->hi_range = f->end_range;
    r->lo_len = f->beg_key ? uint16_t(f->beg_len) : uint16_t(0);
    r->hi_len = f->end_key ? uint16_t(f->end_len) : uint16_t(0);
    r->lo_key = f->beg_key;
    r->hi_key = f->end_key;
  }
  h->key_no = in.key_no;
  FmArb* st = FM_ATTACH(h, r ? &r->head : nullptr, scope_of(f));
  if (r) mm_free(r);
  f->beg_len = 0;
  f->end_len = 0;
  f->act_end_len = 0;
  if (!st) {
    note_status(b, h->status);
    return ii_fail(b, s, kNotOpen);
  }
  st->rec = h->rec;
  st->rec_len = h->rec_len;
  st->key_no = in.key_no;
  st->op = FM_OP_FIRST;
  fm_start(st);
  st->op = 0;
  f->key_no = in.key_no;
  c->stream.set(st);
  uint8_t* loop = ii_adv(pc, 20);
  auto* e = static_cast<IiReadEntry*>(MM_ALLOC(pi_pool(), sizeof(IiReadEntry)));
  std::memset(static_cast<void*>(e), 0, sizeof *e);
  e->back.set(reinterpret_cast<rec::U32*>(&c->loop));
  e->loop.set(loop);
  ut_add_to_lst(&s->reads, e, &e->link);
  c->loop.set(loop);
  return loop;
}

uint8_t* inst_beg_read(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiBegRead>(pc);
  PiFileCtl* f = fca_at(pc + 4);
  PiReadCursor* c = cursor_at(pc + 8);
  if (!c || !f) return ii_no_field(b, s, "inst_beg_read");
  FmArb* st = c->stream.get();
  FmArb* h = open_handle(f);
  if (!live(st) || !h || st->file.get() != h->file.get()) {
    c->stream.reset();
    return ii_fail(b, s, kNotOpen);
  }
  EmCfi* cfi = f->cfi.get();
  uint16_t op = uint16_t(in.op & (FM_OP_HOLD | FM_OP_WAIT));
  bool hold = (op & FM_OP_HOLD) != 0;
  for (;;) {
    st->op = op;
    st->lock_wait = s->timeout_secs;
    int got = fm_rdnxt(st);
    uint32_t status = st->status;
    st->op = 0;
    if (got) {
      if (!admitted(b, cfi, st->rec.get())) {
        if (hold) fm_release(st);
        continue;
      }
      if (hold) f->held.set(st);
      return ii_adv(pc, 20);
    }
    // A record held elsewhere with a TIMEOUT label: the loop stays open.
    if (lock_status(status) && s->timeout_label) {
      note_status(b, status);
      return s->timeout_label;
    }
    uint8_t* exit = ii_ref(pc + 12);
    end_loop(s, f, c);
    if (status != FM_ST_EOF) note_status(b, status);
    if (!exit) return ii_fail(b, s, kNoLoop);
    return exit;
  }
}

uint8_t* inst_end_read(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  PiReadCursor* c = cursor_at(pc + 4);
  // Back only where a BEG READ of this run began the cursor's loop, and
  // only while the cursor still says so: never to an address that data
  // holds.
  IiReadEntry* e = c ? read_entry(s, c) : nullptr;
  uint8_t* loop = e ? e->loop.get() : nullptr;
  if (!loop || c->loop.get() != loop) return ii_fail(b, s, kNoLoop);
  return loop;
}

// ------------------------------------------------------------ properties --
// The property file of the instruction's application, in the version in
// use and the current database; null when it cannot be opened.
FmArb* prop_file(IlfExecBlock* b, const IbFiProp& in) {
  char ver[2] = {'0', '0'}, db[3] = {' ', ' ', ' '};
  if (auto* a11 = pi_area_rec<PdArea11>(b->pcb, 11); a11 && !a11->ver.blank()) std::memcpy(ver, a11->ver.data(), 2);
  if (auto* a9 = pi_area_rec<PdArea9>(b->pcb, 9)) std::memcpy(db, a9->cur_db.data(), 3);
  return pi_get_prop_arb(in.app.data(), ver, db, com.depth);
}

// The object name (register 2, the object-name length), blank padded.
struct ObjName {
  char text[128];
  size_t len;
};
ObjName obj_name(const IlfState* s, const IbFiProp& in, int reg) {
  ObjName n;
  std::memset(n.text, ' ', sizeof n.text);
  n.len = std::min<size_t>(in.name_len, sizeof n.text);
  const uint8_t* p = s->addr[reg];
  size_t have = reg == 1 ? n.len : std::min<size_t>(n.len, s->len[reg]);
  if (p && have) std::memcpy(n.text, p, have);
  return n;
}

// The field's conversion between the stored value (register 1) and a
// 256-character text (longer when the field shows wider, its tail blank):
// 0 on success, else the conversion's message number.
uint32_t prop_cnv(IlfState* s, IbFiProp& in, char value[256], bool to_text) {
  CvBlock blk;
  if (!s->addr[0] || !cv_cmpl(&blk, &in.item, nullptr)) return kIiErrRuntime;
  // The display text lives in the arena, as every address the conversion
  // keeps.
  size_t n = std::max<size_t>(256, blk.item->ext_len);
  auto* text = static_cast<char*>(MM_ALLOC(pi_pool(), n));
  std::memset(text, ' ', n);
  if (!to_text) std::memcpy(text, value, 256);
  cv_set_addr(&blk, s->addr[0], text);
  blk.msg = 0;
  uint32_t m = 0;
  if (to_text) {
    cv_itoe(&blk);
    m = blk.msg;
    if (!m) std::memcpy(value, text, 256);
  } else if (!cv_etoi(&blk)) {
    m = blk.msg ? blk.msg : kIiErrRuntime;
  }
  mm_free(text);
  return m;
}

uint8_t* inst_getprop(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiProp>(pc);
  ObjName n = obj_name(s, in, 1);
  char value[256];
  pi_get_prop(prop_file(b, in), in.kind.data(), n.text, n.len, in.prop.data(), value);
  if (uint32_t m = prop_cnv(s, in, value, false)) return ii_fail(b, s, m);
  return ii_adv(pc, 240);
}

uint8_t* inst_putprop(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiProp>(pc);
  char value[256];
  std::memset(value, ' ', sizeof value);
  if (uint32_t m = prop_cnv(s, in, value, true)) return ii_fail(b, s, m);
  ObjName n = obj_name(s, in, 1);
  pi_put_prop(prop_file(b, in), in.kind.data(), n.text, n.len, in.prop.data(), value);
  return ii_adv(pc, 240);
}

uint8_t* inst_delprop(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiProp>(pc);
  ObjName n = obj_name(s, in, 1);
  pi_del_prop(prop_file(b, in), in.kind.data(), n.text, n.len, in.prop.data());
  return ii_adv(pc, kIbFiPropShort);
}

// MOVEATTR: the properties of the old object name (register 1) go under
// the new one (register 2). A property that does not move stops the walk
// with a warning naming it: a partial move never passes unreported.
uint8_t* inst_moveprop(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiProp>(pc);
  ObjName to = obj_name(s, in, 1), from = obj_name(s, in, 0);
  FmArb* h = prop_file(b, in);
  char failed[15] = {};
  if (h && !pi_move_prop(h, in.kind.data(), to.text, to.len, in.prop.data(), from.text, failed)) {
    char text[80];
    int n = std::snprintf(text, sizeof text, "Property %.14s not moved", failed);
    add_wrn_err(b->pcb, text, size_t(std::max(n, 0)), 1);
  }
  return ii_adv(pc, kIbFiPropShort);
}

}  // namespace

namespace {
// SCAN test: the scanned file's name (register 1) against this scan's
// (register 2); another file's answer skips the return block.
uint8_t* inst_scan_tst(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiScanTst>(pc);
  if (!s->addr[0] || !s->addr[1]) return ii_no_field(b, s, "inst_scan_tst");
  if (std::memcmp(s->addr[0], s->addr[1], in.len) == 0) return ii_adv(pc, 12);
  uint8_t* to = ii_ref(pc + 4);
  return to ? to : ii_fail(b, s, kIiErrRuntime);
}
}  // namespace

// ----------------------------------------------------------------- SCAN --
namespace {

constexpr const char* kScanMod = "IIFI.C";

// The scan side table (see ibfi.h): per PCB its work file, its buffer and
// the scope both belong to.
struct ScanProc {
  FmArb* work = nullptr;
  uint8_t* buf = nullptr;
  int scope = 0;
};
std::unordered_map<const Pcb*, ScanProc>& scan_procs() {
  static std::unordered_map<const Pcb*, ScanProc> m;
  return m;
}
// A scope that ends takes the scan state made in it (or deeper) along.
void scan_release(int depth) {
  auto& m = scan_procs();
  for (auto it = m.begin(); it != m.end();) it = it->second.scope >= depth ? m.erase(it) : std::next(it);
}
ScanProc* scan_proc(const Pcb* pcb) {
  auto it = scan_procs().find(pcb);
  if (it == scan_procs().end()) return nullptr;
  if (!live(it->second.work)) {
    scan_procs().erase(it);
    return nullptr;
  }
  return &it->second;
}

uint8_t* scan_fail(IlfExecBlock* b, IlfState* s, uint32_t st, const char* text, int line) {
  checkstat(st, text, kScanMod, line);
  ii_end_ep(b, s);
  return ii_stop(s);
}

// The process's scan work file and buffer, made on its first SCAN.
ScanProc* scan_proc_new(Pcb* pcb, uint32_t* st) {
  if (ScanProc* p = scan_proc(pcb)) return p;
  static auto* kdb = static_cast<FmKdb*>(arena::alloc_chunk(sizeof(FmKdb)));
  static auto* sdb = static_cast<FmSdb*>(arena::alloc_chunk(sizeof(FmSdb)));
  int scope = pcb->pool_scope ? int(pcb->pool_scope) : int(com.proc_scope);
  FmFdb fdb;
  INIT_SCAN_STMT_FDB(&fdb, kdb, sdb);
  if (!FM_CREATE(&fdb, scope, 0, 0, 15, 15)) {
    *st = fdb.status;
    return nullptr;
  }
  ScanProc p;
  p.work = fdb.handle.get();
  p.scope = scope;
  p.buf = static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(nullptr, scope, 0), kIiScanBuf));
  std::memset(p.buf, ' ', kIiScanBuf);
  return &(scan_procs()[pcb] = p);
}

// The module's scan return file, made when it has none.
FmArb* scan_returns(EmHeader* em, bool make, uint32_t* st) {
  FmArb* f = em ? em->scanb.get() : nullptr;
  if (live(f) || !em || !make) return live(f) ? f : nullptr;
  FmFdb fdb;
  em_scan_bud_fdb(&fdb);
  if (!FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) {
    *st = fdb.status;
    return nullptr;
  }
  em->scanb.set(fdb.handle.get());
  return fdb.handle.get();
}

// SCAN: the scan request into the two work files, then on after the
// return block.
uint8_t* inst_scan(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFiScan>(pc);
  Pcb* pcb = b->pcb;
  PiFileCtl* f = fca_at(pc + 4);
  EmCfi* cfi = f ? f->cfi.get() : nullptr;
  if (!pcb || !cfi) return ii_no_field(b, s, "inst_scan");
  uint32_t st = 0;
  ScanProc* sp = scan_proc_new(pcb, &st);
  if (!sp) return scan_fail(b, s, st, "pif file create failed", __LINE__);
  FmArb* ret = scan_returns(pcb->module.get(), true, &st);
  if (!ret) return scan_fail(b, s, st, "pif file create failed", __LINE__);
  FmFdb w = work_fdb(b, f, cfi, false);
  w.options = w.options | FM_OPT_BASE | mem_opts(cfi, w);
  // The file's record: found by its number, else written.
  static auto* r = static_cast<IiScanWork*>(arena::alloc_chunk(sizeof(IiScanWork)));
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->file_no = cfi->file_no;
  r->use = cfi->use;
  r->b3 = cfi->b75;
  FmArb* wf = sp->work;
  PROTO_FULL(wf, 0, reinterpret_cast<uint8_t*>(r));
  wf->op = FM_OP_EQUAL;
  int found = fm_read(wf);
  wf->op = 0;
  if (!found) {
    std::memset(static_cast<void*>(r), 0, sizeof *r);
    r->file_no = cfi->file_no;
    r->use = cfi->use;
    r->b3 = cfi->b75;
    std::memcpy(r->ctl.data(), f, sizeof(PiFileCtl));
    std::memcpy(r->fdb.data(), &w, r->fdb.size());
    PROTO_FULL(wf, 0, reinterpret_cast<uint8_t*>(r));
    if (!fm_write(wf)) return scan_fail(b, s, wf->status, "Bad write ", __LINE__);
  }
  // The return block's position, in the order the scans ran.
  static auto* pos = static_cast<CodeRef*>(arena::alloc_chunk(sizeof(CodeRef)));
  *pos = in.ret;
  PROTO_FULL(ret, 0, reinterpret_cast<uint8_t*>(pos));
  ret->rec_len = sizeof *pos;
  if (!fm_write(ret)) return scan_fail(b, s, ret->status, "Bad scan bud write ", __LINE__);
  uint8_t* next = ii_ref(pc + 8);
  return next ? next : ii_fail(b, s, kIiErrRuntime);
}

// IRA_SCAN: a register at its place in the scan buffer.
uint8_t* inst_ira_scan(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbIraScan>(pc);
  ScanProc* sp = scan_proc(b->pcb);
  uint16_t reg = in.reg;
  if (reg < 1 || reg > 4 || !sp) return ii_no_field(b, s, "inst_ira_scan");
  s->addr[reg - 1] = sp->buf + in.offset.get();
  return ii_adv(pc, 8);
}

}  // namespace

FmArb* ii_scan_work(const Pcb* pcb) {
  ScanProc* p = scan_proc(pcb);
  return p ? p->work : nullptr;
}
uint8_t* ii_scan_buf(const Pcb* pcb) {
  ScanProc* p = scan_proc(pcb);
  return p ? p->buf : nullptr;
}

std::vector<CodeRef> ii_scan_returns(EmHeader* em) {
  std::vector<CodeRef> v;
  uint32_t st = 0;
  FmArb* f = scan_returns(em, false, &st);
  if (!f) return v;
  f->key_no = 0;
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(f, 0)) {
    if (f->len_read != sizeof(CodeRef)) continue;
    CodeRef c;
    std::memcpy(&c, p, sizeof c);
    v.push_back(c);
  }
  f->op = 0;
  return v;
}

int ii_scan_answer(Pcb* pcb, const char* file, const uint8_t* record, size_t len) {
  EmHeader* em = pcb ? pcb->module.get() : nullptr;
  ScanProc* sp = scan_proc(pcb);
  if (!em || !sp) return -1;
  // "SCANOPT FI NAM": the work field of "0LA" the return blocks compare.
  FmArb* cf = em->cfld.get();
  if (!live(cf)) return -1;
  static auto* key = static_cast<EmCfld*>(arena::alloc_chunk(sizeof(EmCfld)));
  std::memset(static_cast<void*>(key), ' ', sizeof *key);
  key->app.set("0LA");
  key->name.set("SCANOPT FI NAM");
  PROTO_FULL(cf, 0, reinterpret_cast<uint8_t*>(key));
  const auto* c = reinterpret_cast<const EmCfld*>(fm_read_fast(cf, 0));
  uint8_t* name = c ? pi_find_addr(pcb, "0LA", c->area, 0, 0, nullptr) : nullptr;
  if (!name) return -1;
  std::memset(name, ' ', 8);
  std::memcpy(name, file, strnlen(file, 8));
  std::memset(sp->buf, ' ', kIiScanBuf);
  std::memcpy(sp->buf, record, std::min(len, kIiScanBuf));
  std::vector<CodeRef> blocks = ii_scan_returns(em);
  uint32_t st = 0;
  if (FmArb* f = scan_returns(em, false, &st); f && !fm_del_all(f))
    checkstat(f->status, "Bad scan bud delete", kScanMod, __LINE__);
  int ran = 0;
  for (const CodeRef& at : blocks) {
    uint32_t entry = 0;
    std::memcpy(&entry, &at, sizeof entry);
    IlfExecBlock b;
    ran += II_EXEC_MISC(pcb, em->cur_ep, &b, entry);
  }
  return ran;
}

const char* ii_fi_msg(size_t* len) {
  if (len) *len = g_msg_len;
  return g_msg;
}

void ii_fi_set_access_check(IiFiAccessCheck fn) { g_access = fn; }

void ii_fi_init() {
  ii_set_pair(550, inst_beg_at);
  ii_set_pair(552, inst_end_at);
  ii_set_pair(554, inst_readnext);
  ii_set_pair(556, inst_beg_read_start);
  ii_set_pair(558, inst_beg_read);
  ii_set_pair(560, inst_end_read);
  ii_set_pair(562, inst_read);
  ii_set_pair(564, inst_write);
  ii_set_pair(566, inst_rewrite);
  ii_set_pair(568, inst_delete);
  ii_set_pair(570, inst_create);
  ii_set_pair(572, inst_scratch);
  ii_set_pair(574, inst_open);
  ii_set_pair(576, inst_close);
  ii_set_pair(578, inst_if_exist);
  ii_set_pair(190, inst_getprop);
  ii_set_pair(192, inst_putprop);
  ii_set_pair(198, inst_delprop);
  ii_set_pair(254, inst_moveprop);
  ii_set_pair(140, inst_scan_tst);
  ii_set_pair(580, inst_scan);
  ii_set_pair(188, inst_ira_scan);
  ut_on_release(Release::Reset, scan_release);
}
