// Run-time error display and the runtime's start.
#include "executors/rt.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pc.h"
#include "process/pcb.h"
#include "process/pigetd.h"
#include "process/piexec.h"
#include "process/services.h"
#include "screen/wm.h"

namespace {

constexpr const char* kMod = "RT";

// A record buffer in the arena (handles read and write only there).
struct ArenaBuf {
  uint8_t* p;
  explicit ArenaBuf(size_t n) : p(static_cast<uint8_t*>(MM_ALLOC(pc_scratch_pool(), n))) { std::memset(p, ' ', n); }
  ArenaBuf(const ArenaBuf&) = delete;
  ArenaBuf& operator=(const ArenaBuf&) = delete;
  ~ArenaBuf() { mm_free(p); }
};

// The two surfaces of a run in its own window: destroyed on every path.
struct OwnSurfaces {
  uint32_t s[2] = {0, 0};
  ~OwnSurfaces() { release(); }
  void release() {
    for (uint32_t& h : s)
      if (h) {
        wm_destroy_srf(h);
        h = 0;
      }
  }
};

// ERROR DISPLAY, opened in the current scope from the session's file (the
// interpreter's start makes it; made here when a program runs without it).
FmArb* open_err_dspl() {
  FmFdb fdb;
  INIT_ERR_FDB(&fdb);
  if (FM_OPEN(&fdb, com.depth, 0, 15, 15)) return fdb.handle.get();
  INIT_ERR_FDB(&fdb);
  if (FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) {
    INIT_ERR_FDB(&fdb);
    if (FM_OPEN(&fdb, com.depth, 0, 15, 15)) return fdb.handle.get();
  }
  checkstat(fdb.status, "can't create ERROR DISPLAY file", kMod, __LINE__);
  return nullptr;
}

// The text of an error record for standard error: a message record's text,
// or a file error's message and status.
std::string err_text(const ErrDisplay& r) {
  auto trim = [](std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };
  std::string text = trim(r.msg_text.str());
  if (r.msg_flag != 255) {
    std::string status = trim(std::string(reinterpret_cast<const char*>(r.tail.b), sizeof r.tail.b));
    if (!status.empty()) text += ": " + status;
  }
  return text;
}

// A file error says which file: its database, application and name (as
// the record's head holds them) after the message's text.
void name_the_file(ErrDisplay* r) {
  if (r->msg_flag == 255) return;
  const auto& f = rec::view<PiFiErr>(static_cast<void*>(r));
  std::string where;
  for (std::string part : {f.db.str(), f.file_app.str(), f.file_name.str()}) {
    while (!part.empty() && part.back() == ' ') part.pop_back();
    if (!part.empty()) where += (where.empty() ? "" : " ") + part;
  }
  std::string text = r->msg_text.str();
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (where.empty() || text.empty()) return;
  r->msg_text.set(text + ": " + where);
}

void show_cmpl_err(Pcb* parent) {
  PiInvoc v = cmpl_err_invoc;
  v.parent_pcb.set(parent);
  v.completion = 0;
  rt_run_own_window(parent, &v);
}

}  // namespace

int rt_upd_first(FmArb* f, const void* record, size_t len) {
  if (!f) return 0;
  ArenaBuf buf(len);
  PROTO_FULL(f, 0, buf.p);
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = FM_OP_HOLD;
  f->rec_len = uint16_t(len);
  int found = fm_rdnxt(f);
  f->op = 0;
  std::memcpy(buf.p, record, len);
  int ok = found ? fm_rewrite(f) : fm_write(f);
  f->rec_len = 0;
  return ok;
}

int rt_read_first(FmArb* f, void* record, size_t len) {
  if (!f) return 0;
  ArenaBuf buf(len);
  PROTO_FULL(f, 0, buf.p);
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = 0;
  f->rec_len = uint16_t(len);
  int found = fm_rdnxt(f);
  f->rec_len = 0;
  if (found) std::memcpy(record, buf.p, len);
  return found;
}

int rt_run_own_window(void* parent, const void* invocation) {
  PiInvoc v;
  std::memcpy(&v, invocation, sizeof v);
  v.parent_pcb.set(static_cast<Pcb*>(parent));
  v.completion = 0;
  int code = 0;
  {
    OwnSurfaces s;
    if (!wm_create_srf(&s.s[0], com.depth) || !wm_create_srf(&s.s[1], com.depth)) {
      os_sys_err_text(kMod, __LINE__, "invoc_proc() - unable to create surface");
      return 4;
    }
    v.surface1 = s.s[0];
    v.surface2 = s.s[1];
    pi_exec(&v);
    code = v.completion;
  }
  if (code == 37) ut_unwind(37);
  return code;
}

int rt_init() {
  if (!rt_init_cmpl_err()) return 0;
  pc_cmpl_err_show = show_cmpl_err;
  proc_svc.rt_err = rt_err;
  return 1;
}

void rt_err(void* pcb, const void* err_rec) {
  if (!err_rec) return;
  ArenaBuf shown(sizeof(ErrDisplay));
  std::memcpy(shown.p, err_rec, sizeof(ErrDisplay));
  auto& r = rec::view<ErrDisplay>(shown.p);
  name_the_file(&r);
  if (FmArb* f = open_err_dspl()) {
    if (!rt_upd_first(f, &r, sizeof(ErrDisplay))) checkstat(f->status, "can't upd err_dspl", kMod, __LINE__);
    FM_CLOSE(f, 0);
  }
  if (!com.screen_up || !wm_up()) {
    std::string text = err_text(r);
    std::fprintf(stderr, "%s\n", text.c_str());
    return;
  }
  PiInvoc v;
  os_invoc_template(&v);
  v.app.set("0LA");
  v.ver.set("00");
  v.type = 2;
  v.name.set("ERROR MESSAGE");
  v.kind = 2;
  rt_run_own_window(pcb, &v);
}

void rt_register() {
  os_set_init(OsInit::Rt, rt_init);
  proc_svc.rt_err = rt_err;
}
