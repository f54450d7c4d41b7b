// The window work files of Input processes: WCB records every window an
// Input process attaches, DIS every Input process run as SUBPROCESS of
// another one; the current input information is kept around each Input
// process. Both files are memory work files of the engine run.
#include <cstdio>
#include <cstring>
#include <vector>

#include "executors/ipscrl.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "screen/wm.h"

namespace {
constexpr const char* kMod = "IP";

struct State {
  Ref<FmArb> wcb, dis;
  IpInpInfo cur;
};
State& st() {
  static State s;
  return s;
}

void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

MmPool pool() { return mm_create_pool(" IPPOOL    ", com.base_scope, 0); }

// A buffer of the engine's arena, as every handle's must be.
template <class T>
T* buffer() {
  auto* p = static_cast<T*>(MM_ALLOC(pool(), sizeof(T)));
  std::memset(static_cast<void*>(p), 0, sizeof(T));
  return p;
}

FmArb* create(const char* code, int rec_len, const FmSdb* segs, int n, const char* err) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb)));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * size_t(n)));
  std::memcpy(static_cast<void*>(sdb), segs, sizeof(FmSdb) * size_t(n));
  INIT_KDB(kdb, 0, '+', FM_KEY_PRIMARY, sdb, n);
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_MEMORY, rec_len, 0, kdb, 1);
  INIT_UNIQUE_PATH(&f, "IP", code, FM_PT_DATA);
  int ok = FM_CREATE(&f, com.base_scope, 0, 0, 15, 15);
  mm_free(kdb);
  mm_free(sdb);
  if (!ok) {
    char text[96];
    std::snprintf(text, sizeof text, "%s (%u)", err, unsigned(f.status));
    sys_err(__LINE__, text);
    return nullptr;
  }
  return f.handle.get();
}

FmSdb seg(int field, int offset, int length, int type, char order = '+') {
  FmSdb s;
  init_sdb_func(&s, field, offset, length, type, order);
  return s;
}

// Calls fn on a copy of each record of the file, in key order; the record
// ids come with them.
template <class R, class Fn>
void each(FmArb* f, Fn fn) {
  R* buf = buffer<R>();
  PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(buf));
  f->op = FM_OP_FIRST;
  bool ok = fm_start(f) != 0;
  f->op = 0;
  std::vector<std::pair<R, uint32_t>> all;
  while (ok && fm_rdnxt(f)) all.emplace_back(*buf, uint32_t(f->rid));
  mm_free(buf);
  for (auto& [r, rid] : all) fn(r, rid);
}

bool del_rid(FmArb* f, uint32_t rid, size_t len) {
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), len));
  PROTO_FULL(f, 0, buf);
  f->rid = rid;
  f->op = FM_OP_RID | FM_OP_HOLD;
  bool ok = fm_read(f) != 0;
  f->op = 0;
  ok = ok && fm_del(f);
  mm_free(buf);
  return ok;
}

// A region of the process's windows is gone: no image entry or scrolling
// block of the PCB names it any longer.
void forget_region(Pcb* p, uint32_t region) {
  if (!p || !region) return;
  EmHeader* em = p->module.get();
  if (PcbImageEnt* t = p->image_tbl.get(); t && em)
    for (uint32_t i = 1; i <= em->n_images; ++i)
      if (t[i].region == region) t[i].region = 0;
  if (PcbScroll* sb = p->scroll_img.get(); sb && sb->region == region) {
    pcb_scroll_reset(sb);
    sb->region = 0u;
    sb->shown = 0;
  }
}

// The windows of one process: those of `frame` (0 every one).
void detach_own(Pcb* p, uint32_t family, const IpWcb& who, int frame, bool force, bool del) {
  FmArb* w = st().wcb.get();
  each<IpWcb>(w, [&](IpWcb& r, uint32_t rid) {
    if (r.family != family || r.app != who.app || r.name != who.name || r.instance != who.instance) return;
    if (frame && r.frame != uint16_t(frame)) return;
    if (r.keep && !force) return;
    if (r.region) {
      if (!wm_detach(r.region, 1)) sys_err(__LINE__, "ip_detach() - bad wm_detach");
      forget_region(p, r.region);
    }
    if (del && !del_rid(w, rid, sizeof(IpWcb))) sys_err(__LINE__, "ip_detach() - fm_del failed");
  });
}

void detach(Pcb* p, uint32_t family, const IpWcb& who, int frame, bool self, bool force, bool del, int depth) {
  FmArb* d = st().dis.get();
  if (!d || !st().wcb) return;
  // A chain of DIS records longer than any nesting of processes is damage,
  // never followed for ever.
  if (depth > 64) return;
  each<IpDis>(d, [&](IpDis& r, uint32_t rid) {
    if (r.family != family || r.c_app != who.app || r.c_name != who.name || r.c_instance != who.instance) return;
    IpWcb child{};
    child.app = r.app;
    child.name = r.name;
    child.instance = r.instance;
    detach(r.pcb.get(), family, child, 0, true, force, true, depth + 1);
    // A child whose kept windows stayed keeps its record, so that a forced
    // detach finds them later.
    bool left = false;
    each<IpWcb>(st().wcb.get(), [&](IpWcb& w, uint32_t) {
      left = left || (w.family == family && w.app == child.app && w.name == child.name && w.instance == child.instance);
    });
    if (!left && !del_rid(d, rid, sizeof(IpDis))) sys_err(__LINE__, "ip_detach() - bad fm_del");
  });
  if (self) detach_own(p, family, who, frame, force, del);
}
}  // namespace

// --------------------------------------------------------------- ip_init --
int ip_wcb_init() {
  State& s = st();
  const FmSdb w[] = {seg(2, 4, 4, FM_SEG_BINARY),  seg(3, 8, 3, FM_SEG_ALPHA), seg(4, 11, 30, FM_SEG_ALPHA),
                     seg(5, 42, 2, FM_SEG_BINARY), seg(7, 48, 2, FM_SEG_BINARY), seg(8, 50, 1, FM_SEG_BINARY)};
  const FmSdb d[] = {seg(1, 0, 4, FM_SEG_BINARY),        seg(2, 4, 3, FM_SEG_ALPHA),  seg(3, 7, 30, FM_SEG_ALPHA),
                     seg(4, 38, 2, FM_SEG_BINARY, '-'),  seg(5, 44, 3, FM_SEG_ALPHA), seg(6, 47, 30, FM_SEG_ALPHA),
                     seg(7, 78, 2, FM_SEG_BINARY, '-')};
  s.wcb.set(create("WC", sizeof(IpWcb), w, 6, "ip_init() - wcb file create failed"));
  s.dis.set(create("DI", sizeof(IpDis), d, 7, "ip_init() - dis file create failed"));
  s.cur.app.clear();
  s.cur.name.clear();
  s.cur.instance = 0;
  s.cur.scope = 0;
  return s.wcb && s.dis ? 1 : 0;
}

FmArb* ip_wcb_file() { return st().wcb.get(); }
FmArb* ip_dis_file() { return st().dis.get(); }
const IpInpInfo& ip_inp_info() { return st().cur; }

// -------------------------------------------------- ip_inp_info around --
void ip_inp_enter(Pcb* pcb, uint32_t* saved) {
  State& s = st();
  auto* copy = buffer<IpInpInfo>();
  *copy = s.cur;
  if (saved) *saved = arena::offset_of(copy);
  auto* caller = static_cast<Pcb*>(pcb->invoc.parent_pcb.get());
  bool input_caller = caller && caller->invoc.type == 2 && !s.cur.app.blank() && s.cur.app == caller->invoc.app &&
                      s.cur.name == caller->invoc.name && s.cur.instance == caller->generation;
  if (pcb->invoc.kind == 0 && input_caller && s.dis) {
    IpDis* r = buffer<IpDis>();
    r->family = pcb->family;
    r->c_app = s.cur.app;
    r->c_name = s.cur.name;
    r->c_instance = s.cur.instance;
    r->c_scope = s.cur.scope;
    r->app = pcb->invoc.app;
    r->name = pcb->invoc.name;
    r->instance = pcb->generation;
    r->pcb.set(pcb);
    FmArb* d = s.dis.get();
    PROTO_FULL(d, 0, reinterpret_cast<uint8_t*>(r));
    // The same child run again from the same caller has its record already.
    if (!fm_write(d) && d->status != FM_ST_DUP_KEY) sys_err(__LINE__, "ip_setup() - dis write failed");
    mm_free(r);
  }
  s.cur.app = pcb->invoc.app;
  s.cur.name = pcb->invoc.name;
  s.cur.instance = pcb->generation;
  s.cur.scope = pcb->pool_scope;
}

void ip_inp_leave(Pcb*, uint32_t* saved) {
  if (!saved || !*saved) return;
  auto* copy = static_cast<IpInpInfo*>(arena::at(*saved));
  st().cur = *copy;
  mm_free(copy);
  *saved = 0;
}

// ------------------------------------------------------------- ip_attach --
uint32_t ip_attach(Pcb* pcb, WmWnd* wnd, uint32_t surface, int frame, int image, bool* reattached) {
  if (reattached) *reattached = false;
  FmArb* w = st().wcb.get();
  if (!w) {
    sys_err(__LINE__, "ip_attach() - no wcb file");
    return 0;
  }
  IpWcb* r = buffer<IpWcb>();
  r->family = pcb->family;
  r->app = pcb->invoc.app;
  r->name = pcb->invoc.name;
  r->instance = pcb->generation;
  r->frame = uint16_t(frame);
  r->image = uint8_t(image);
  PROTO_FULL(w, 0, reinterpret_cast<uint8_t*>(r));
  w->op = FM_OP_EQUAL | FM_OP_HOLD;
  bool found = fm_read(w) != 0;
  w->op = 0;
  uint32_t region = 0;
  if (!found) {
    r->region = 0u;
    r->scope = pcb->pool_scope;
    r->keep = wnd->flag ? 1 : 0;
    PROTO_FULL(w, 0, reinterpret_cast<uint8_t*>(r));
    if (!fm_write(w)) {
      sys_err(__LINE__, "ip_attach() - fm_write failed");
      mm_free(r);
      return 0;
    }
    w->op = FM_OP_EQUAL | FM_OP_HOLD;
    found = fm_read(w) != 0;
    w->op = 0;
  }
  if (r->region) {
    region = r->region;
    if (!wm_reattach(region, surface, nullptr)) sys_err(__LINE__, "wm_reattach failed");
    wm_actv(region);
    if (reattached) *reattached = true;
  } else {
    int scope = pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth);
    if (!wm_attach(wnd, surface, scope)) {
      sys_err(__LINE__, "ip_attach() - wm_attach failed");
    } else {
      // A window whose regions come and go with its rows (scroll type not
      // 0) is recorded by its own handle, which outlives them.
      region = wnd->scroll ? uint32_t(wnd->window) : uint32_t(wnd->region);
      r->region = region;
      if (!found || !fm_rewrite(w)) sys_err(__LINE__, "ip_attach() - fm_rewrite failed");
    }
  }
  fm_release(w);
  mm_free(r);
  return region;
}

// ------------------------------------------------------------- ip_detach --
void ip_detach(Pcb* pcb, int frame, bool self, bool force, bool del) {
  if (!pcb) return;
  IpWcb who{};
  who.app = pcb->invoc.app;
  who.name = pcb->invoc.name;
  who.instance = pcb->generation;
  detach(pcb, pcb->family, who, frame, self, force, del, 0);
}

void ip_clr_frm(Pcb* pcb, int frame) {
  if (!pcb) {
    sys_err(__LINE__, "ip_clr_frm() - got a NULL pcb");
    return;
  }
  EmHeader* em = pcb->module.get();
  if (frame < 1 || !em || uint32_t(frame) > em->n_frames) {
    sys_err(__LINE__, "ip_clr_frm() - got a NULL cfrm");
    return;
  }
  if (pcb->invoc.type != 2 && pcb->invoc.type != 3 && pcb->invoc.type != 9) {
    sys_err(__LINE__, "ip_clr_frm() - bad proc type");
    return;
  }
  IpWcb who{};
  who.app = pcb->invoc.app;
  who.name = pcb->invoc.name;
  who.instance = pcb->generation;
  detach_own(pcb, pcb->family, who, frame, true, true);
  if (PcbFrameEnt* f = pcb->frame_tbl.get()) f[frame].image = 0;
}

void ip_wnd_cleanup(Pcb* pcb) {
  if (!pcb) return;
  // A SUBPROCESS of an Input process leaves its kept windows for that
  // caller to detach.
  auto* caller = static_cast<Pcb*>(pcb->invoc.parent_pcb.get());
  bool input_caller = caller && caller->invoc.type == 2 && pcb->invoc.kind == 0;
  ip_detach(pcb, 0, true, !input_caller, true);
  if (PcbFrameEnt* f = pcb->frame_tbl.get(); f && pcb->module)
    for (uint32_t i = 1; i <= pcb->module->n_frames; ++i) f[i].image = 0;
}
