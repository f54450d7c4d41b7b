// Dictionary getters and the file-error exit: see pigetd.h.
#include "process/pigetd.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files/fmcat.h"
#include "files/fmkept.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pl.h"
#include "process/services.h"

namespace {

constexpr const char* kMod = "PIEXEC.C";

void sys_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
}

// Arena storage of the getters, taken once and kept for the engine's life.
// The APPL records remembered: a compile asks for its own application's
// and for those its files come from (0LA and the like), over and over.
constexpr int kDapMemo = 2;

struct Store {
  DUser usr;
  DAppl dap[kDapMemo];
  DParam parm;
  DSysparm sysparm;
  FmKdb kdb[FM_CAT_KDB_AREA];
  FmSdb sdb[FM_CAT_SDB_AREA];
};
Store* store() {
  static Store* s = static_cast<Store*>(arena::alloc_chunk(sizeof(Store)));
  return s;
}

struct Memory {
  char usr[3];
  bool usr_ok = false;
  // Each remembered APPL record: its key, and the file's change count when
  // it was read (it is the file's record while the count stays).
  struct Dap {
    char key[5];
    bool ok = false;
    uint64_t count = 0;
  } dap[kDapMemo];
  int dap_last = 0;  // the entry asked for last
  bool sysparm_ok = false;
} mem;

// Opens a described file in the current scope, reads one record into buf by
// the key in it (or record 1), closes it. True when the record was read.
bool read_one(FmFdb* fdb, void* buf, const char* close_text, int line) {
  if (!FM_OPEN(fdb, com.depth, 0, 1, 15)) return false;
  FmArb* a = fdb->handle.get();
  PROTO_FULL(a, 0, static_cast<uint8_t*>(buf));
  a->op = fdb->org == FM_ORG_SINGLE ? FM_OP_RID : 0;
  a->rid = 1;
  bool ok = fm_read(a) == 1;
  if (!FM_CLOSE(a, 0) && close_text) sys_err(line, close_text);
  return ok;
}

// The PARAM files stay open in the base scope from one read to the next
// (the compiler reads its application's at every compile, and an open costs
// far more than the read: each open looks the file up in SYSDIR twice). They
// are kept handles of files read whole at their open (files/fmkept.h, with
// bytes): an entry is taken again only while its path names the file it
// opened, unchanged since (same inode, size and modification time). Every
// read looks again at what changed since the last.
struct ParmOpen {
  char key[5];
  FmKept kept;
};
std::vector<ParmOpen>& parm_opens() {
  static std::vector<ParmOpen> v;
  return v;
}
void parm_forget() {
  for (ParmOpen& o : parm_opens()) fm_kept_close(&o.kept);
  parm_opens().clear();
}
// The kept handle of an application's PARAM file, opened when there is
// none; *kept false: a handle for this read alone.
FmArb* parm_handle(const char* app, const char* ver, bool* kept, bool new_round) {
  *kept = true;
  char key[5];
  std::memcpy(key, app, 3);
  std::memcpy(key + 3, ver, 2);
  auto& opens = parm_opens();
  if (new_round) fm_kept_new_round();
  for (size_t i = 0; i < opens.size(); ++i) {
    ParmOpen& o = opens[i];
    if (std::memcmp(o.key, key, 5) != 0) continue;
    if (fm_kept_fresh(&o.kept)) return o.kept.h;
    fm_kept_close(&o.kept);
    opens.erase(opens.begin() + long(i));
    break;
  }
  FmFdb fdb;
  INIT_DPARM_FDB(&fdb, app, ver);
  if (!FM_OPEN(&fdb, com.base_scope, 0, 1, 15)) return nullptr;
  FmArb* h = fdb.handle.get();
  ParmOpen o;
  std::memcpy(o.key, key, 5);
  *kept = fm_kept_take(&o.kept, h, true);
  if (*kept) opens.push_back(o);
  return h;
}

}  // namespace

const DUser* pi_get_dusr(const char* user) {
  Store* s = store();
  if (mem.usr_ok && std::memcmp(mem.usr, user, 3) == 0) return &s->usr;
  mem.usr_ok = false;
  FmFdb fdb;
  INIT_DUSR_FDB(&fdb, s->kdb, s->sdb);
  std::memset(&s->usr, ' ', sizeof s->usr);
  std::memcpy(&s->usr.id, user, 3);
  if (!read_one(&fdb, &s->usr, "dusr close failed", __LINE__)) return nullptr;
  std::memcpy(mem.usr, user, 3);
  mem.usr_ok = true;
  return &s->usr;
}

const DAppl* pi_get_dap(const char* app, const char* ver) {
  Store* s = store();
  char key[5];
  std::memcpy(key, app, 3);
  std::memcpy(key + 3, ver, 2);
  if (IS_ZUB_AP(app)) std::memcpy(key + 3, "00", 2);
  // The records remembered are of the file still there (open_dap forgets
  // them when it opens the file anew), as it is now (its change count).
  if (!open_dap()) {
    pi_dap_forget();
    return nullptr;
  }
  FmArb* a = com.dap_handle.get();
  uint64_t count = 0;
  const bool counted = fm_change_count(a, &count);
  for (int i = 0; i < kDapMemo; ++i) {
    Memory::Dap& m = mem.dap[i];
    if (!m.ok || std::memcmp(m.key, key, 5) != 0) continue;
    if (counted && m.count == count) {
      mem.dap_last = i;
      return &s->dap[i];
    }
    m.ok = false;
  }
  // Read into the entry not asked for last.
  const int i = mem.dap[mem.dap_last].ok ? (mem.dap_last + 1) % kDapMemo : mem.dap_last;
  Memory::Dap& m = mem.dap[i];
  DAppl& d = s->dap[i];
  m.ok = false;
  std::memset(&d, ' ', sizeof d);
  d.app.set(std::string_view(key, 3));
  d.ver.set(std::string_view(key + 3, 2));
  Ref<uint8_t> rec = a->rec;
  uint16_t len = a->rec_len;
  uint8_t key_no = a->key_no;
  PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(&d));
  bool ok = fm_read(a) == 1;
  a->rec = rec;
  a->rec_len = len;
  a->key_no = key_no;
  if (!ok) return nullptr;
  std::memcpy(m.key, key, 5);
  m.ok = counted;
  m.count = count;
  mem.dap_last = i;
  return &d;
}

namespace {
const DParam* get_dparm(const char* app, const char* ver, bool new_round) {
  Store* s = store();
  bool kept = false;
  FmArb* a = parm_handle(app, ver, &kept, new_round);
  if (!a) return nullptr;
  PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(&s->parm));
  a->op = FM_OP_RID;
  a->rid = 1;
  bool ok = fm_read(a) == 1;
  a->op = 0;
  if (!kept && !FM_CLOSE(a, 0)) sys_err(__LINE__, "dparm close failed");
  return ok ? &s->parm : nullptr;
}
}  // namespace

const DParam* pi_get_dparm(const char* app, const char* ver) { return get_dparm(app, ver, true); }
const DParam* pi_get_dparm_in_round(const char* app, const char* ver) { return get_dparm(app, ver, false); }

const DSysparm* pi_get_dsysparm() {
  Store* s = store();
  if (mem.sysparm_ok) return &s->sysparm;
  FmFdb fdb;
  INIT_DSYSPARM_FDB(&fdb);
  if (!read_one(&fdb, &s->sysparm, "sysparm close failed", __LINE__)) return nullptr;
  mem.sysparm_ok = true;
  return &s->sysparm;
}

void pi_dap_forget() {
  for (Memory::Dap& m : mem.dap) m.ok = false;
}

void pi_getters_reset() {
  mem = Memory{};
  parm_forget();
}

void pi_fi_err_rec(PiFiErr* r, const Pcb* pcb, const FmFdb* file, uint32_t msg, uint32_t status) {
  std::memset(r, ' ', sizeof *r);
  if (file) {
    if (file->app == "0LA") r->file_app.set("---");
    else if (file->app == "0AD") r->file_app = file->src_app;
    else r->file_app = file->app;
    r->file_name = file->name;
    if (!(file->app == "0AD") && !(file->app == "0LA") && !(file->app == "0SA")) r->db = file->db;
  }
  if (pcb) {
    r->proc_app = pcb->invoc.app;
    r->proc_name = pcb->invoc.name;
    char t = char('0' + pcb->invoc.type % 10);
    r->proc_type.set(std::string_view(&t, 1));
  }
  r->msg_text.set(la_text(msg));
  if (status) r->status_text.set(la_text(status));
}

void pi_fi_err(Pcb* pcb, const FmFdb* file, uint32_t msg, uint32_t status) {
  // The record lives in the arena: the error display may keep a reference.
  static PiFiErr* rec = static_cast<PiFiErr*>(arena::alloc_chunk(sizeof(PiFiErr)));
  pi_fi_err_rec(rec, pcb, file, msg, status);
  if (pcb && !pcb->invoc.parent_pcb && file) {
    // The start-up process itself: a failed start, whose reason names the
    // file (the message has no place for it).
    std::string where;
    for (std::string part : {rec->db.str(), rec->file_app.str(), rec->file_name.str()}) {
      while (!part.empty() && part.back() == ' ') part.pop_back();
      if (!part.empty()) where += (where.empty() ? "" : " ") + part;
    }
    std::string why = la_text(msg) + ": " + where;
    if (status) why += ": " + la_text(status);
    pi_start_file_failure(pcb, why);
  }
  proc_svc.rt_err(pcb ? pcb->invoc.parent_pcb.get() : nullptr, rec);
  if (pcb) pcb->invoc.completion = 4;
  if (pcb && pcb->heads_family) discard_family(pcb->family, 0);
  ut_unwind(4);
}

bool pi_file_elems(const char* app, const char* ver, const rec::Text<8>& file, std::vector<DElem>* out) {
  MmPool pool = pi_pool();
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  auto* e = static_cast<DElem*>(MM_ALLOC(pool, sizeof(DElem)));
  struct Free {
    void* a[3];
    ~Free() {
      for (void* x : a) mm_free(x);
    }
  } fr{{kdb, sdb, e}};
  FmFdb fdb;
  if (!fm_open_dict(&fdb, INIT_DELEM_FDB, kdb, sdb, app, ver, com.depth)) return false;
  FmArb* el = fdb.handle.get();
  std::memset(static_cast<void*>(e), ' ', sizeof *e);
  e->file = file;
  if (fm_start_at(el, 2, reinterpret_cast<uint8_t*>(e), reinterpret_cast<const uint8_t*>(e->file.data()), 8))
    while (fm_rdnxt(el) && e->file == file.view()) out->push_back(*e);
  FM_CLOSE(el, 0);
  return true;
}
