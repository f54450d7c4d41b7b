// The query process's suspend file, its pending list and its restoring for
// the query engine; the query process run for the user. See pb.h.
//
// The suspend file lies where other members of the group can write (a
// query scope's memory files are saved with a session and loaded back), so
// its reader checks every record against the plan and the closing sum
// before anything of it is used.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/fmcat.h"
#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pb.h"
#include "process/piexec.h"
#include "process/pl.h"

namespace {

constexpr const char* kMod = "PB.C";
constexpr uint32_t kFault = 200650;
constexpr size_t kPendLen = 28;
constexpr uint32_t kCnsRec = 8;

// The closing record.
struct SuspEnd {
  rec::Text<4> tag;          // "QSUS"
  rec::U32 records;          // records before this one
  rec::U32 crc;              // their CRC-32C
};
QV_RECORD(SuspEnd, 12);

uint8_t* io_buf() {
  static auto* b = static_cast<uint8_t*>(arena::alloc_chunk(FM_MAX_REC + 1));
  return b;
}

// ----------------------------------------------------- pending list --
FmArb* pend_handle() {
  static FmArb* h = nullptr;
  if (h && fm_is_handle(h) && h->state != FM_HS_CLOSED) return h;
  static auto* area = static_cast<uint8_t*>(arena::alloc_chunk(sizeof(FmKdb) + 3 * sizeof(FmSdb) + sizeof(FmFdb)));
  auto* kdb = reinterpret_cast<FmKdb*>(area);
  auto* sdb = reinterpret_cast<FmSdb*>(area + sizeof(FmKdb));
  auto* f = reinterpret_cast<FmFdb*>(area + sizeof(FmKdb) + 3 * sizeof(FmSdb));
  init_sdb_func(&sdb[0], 1, 0, 4, FM_SEG_BINARY, '+');
  init_sdb_func(&sdb[1], 2, 4, 3, FM_SEG_ALPHA, '+');
  init_sdb_func(&sdb[2], 3, 9, 8, FM_SEG_ALPHA, '+');
  INIT_KDB(&kdb[0], 0, '+', FM_KEY_PRIMARY, &sdb[0], 3);
  INIT_FDB(f, FM_CLASS_MEMORY, kPendLen, 0, kdb, 1);
  INIT_UNIQUE_PATH(f, "QP", "PN", FM_PT_DATA);
  if (!FM_CREATE(f, 0, 50, FM_OPT_BASE, 15, 15) && !FM_OPEN(f, 0, FM_OPT_BASE, 15, 15)) {
    checkstat(f->status, "can't create pending file", kMod, __LINE__);
    return h = nullptr;
  }
  return h = f->handle.get();
}

// A pending record in the engine's arena (handles take no other address).
// Its key: the scope word, the application and the name, end to end.
struct PendRec {
  uint8_t* b;
  uint8_t* key;
  explicit PendRec(const FmFdb& f) {
    static auto* buf = static_cast<uint8_t*>(arena::alloc_chunk(kPendLen + 15));
    b = buf;
    key = buf + kPendLen;
    std::memcpy(b, &f, kPendLen);
    std::memcpy(key, b, 7);
    std::memcpy(key + 7, b + 9, 8);
  }
};

// Reads the pending record of an identity; hold when asked.
bool pend_read(FmArb* h, PendRec* r, uint16_t op) {
  h->rec.set(r->b);
  h->rec_len = kPendLen;
  h->key_no = 0;
  h->key.set(r->key);
  h->key_len = 15;
  h->op = uint16_t(FM_OP_KEY | FM_OP_EQUAL | op);
  int ok = fm_read(h);
  h->op = 0;
  h->key.reset();
  h->key_len = 0;
  return ok != 0;
}

// The suspend file's descriptor, fit to create or open (the identity
// holds no handle).
FmFdb susp_fdb(const FmFdb& ident) {
  FmFdb f = ident;
  f.handle.reset();
  f.status = 0;
  f.os_err = 0;
  return f;
}

}  // namespace

std::vector<PbSuspEntry> pb_susp_plan(const std::vector<EmAreaEntry>& areas) {
  std::vector<PbSuspEntry> plan;
  for (uint32_t i = 0; i < areas.size(); ++i) {
    const EmAreaEntry& e = areas[i];
    if (e.sub != 0) continue;  // inside the area before it: saved with that one
    if (e.kind == 0 || e.kind == 2 || e.kind == 3) plan.push_back({i, 1, e.size});
    else if (e.kind == 1) plan.push_back({i, 2, uint32_t(sizeof(FmFdb))});
  }
  return plan;
}

void pb_susp_ident(const char* app, const char* ver, const DProc& def, int scope, FmFdb* out) {
  uint32_t st[2] = {rec::view<rec::U32>(def.changed.data()), rec::view<rec::U32>(def.changed.data() + 4)};
  char nm[9] = {};
  pl_gen_nam(0, st, nm);
  INIT_FDB(out, FM_CLASS_MEMORY, FM_MAX_REC, 1, nullptr, 0);
  char a[4] = {}, v[3] = {};
  std::memcpy(a, app, std::min<size_t>(3, std::strlen(app)));
  std::memcpy(v, ver, std::min<size_t>(2, std::strlen(ver)));
  INIT_SRC_PATH(out, a, v, nm, FM_PT_SESS);
  out->pool = uint32_t(scope);
  out->options = FM_OPT_NO_SYSDIR;
  out->stamp[0] = 0xFFFFFFFFu;
  out->stamp[1] = 0xFFFFFFFFu;
}

int pb_pend_add(const FmFdb& ident) {
  FmArb* h = pend_handle();
  if (!h) return 0;
  PendRec r(ident);
  h->rec.set(r.b);
  h->rec_len = kPendLen;
  h->op = 0;
  int ok = fm_write(h);
  h->rec.reset();
  // A second record of the same identity is no error: one stays.
  if (!ok && h->status != FM_ST_DUP_KEY) {
    checkstat(h->status, "can't write pending", kMod, __LINE__);
    return 0;
  }
  return 1;
}

bool pb_pend_has(const FmFdb& ident) {
  FmArb* h = pend_handle();
  PendRec r(ident);
  bool found = h && pend_read(h, &r, 0);
  if (h) h->rec.reset();
  return found;
}

int pb_pend_del(const FmFdb& ident) {
  FmArb* h = pend_handle();
  if (!h) return 0;
  PendRec r(ident);
  if (!pend_read(h, &r, FM_OP_HOLD)) {
    h->rec.reset();
    return h->status == FM_ST_NO_RECORD ? 1 : 0;
  }
  int ok = fm_del(h);
  h->rec.reset();
  if (!ok) checkstat(h->status, "can't delete pend record", kMod, __LINE__);
  return ok;
}

int pb_susp_write(const FmFdb& ident, const PbSusp& s, const std::vector<EmAreaEntry>& areas) {
  std::vector<PbSuspEntry> plan = pb_susp_plan(areas);
  if (plan.size() != s.records.size() || s.cns.size() != s.head.cns_count ||
      s.cns_values.size() != s.head.cns_len) {
    checkstat(kFault, "SUSPEND write failed", kMod, __LINE__);
    return 0;
  }
  for (size_t i = 0; i < plan.size(); ++i)
    if (s.records[i].size() != plan[i].size || plan[i].size > FM_MAX_REC) {
      checkstat(kFault, "SUSPEND write failed", kMod, __LINE__);
      return 0;
    }
  FmFdb f = susp_fdb(ident);
  (void)FM_SCRATCH(&f, 0);
  f = susp_fdb(ident);
  if (!FM_CREATE(&f, int(ident.pool), 0, FM_OPT_NO_SYSDIR, 15, 15)) {
    checkstat(f.status, "can't create SUSPEND file", kMod, __LINE__);
    return 0;
  }
  FmArb* a = f.handle.get();
  uint32_t n = 0, crc = 0;
  auto put = [&](const void* p, size_t len, const char* what) {
    uint8_t* out = io_buf();
    if (len) std::memcpy(out, p, len);
    a->rec.set(out);
    a->rec_len = uint16_t(len);
    a->op = 0;
    int ok = fm_write(a);
    a->rec.reset();
    if (!ok) {
      checkstat(a->status, what, kMod, __LINE__);
      return false;
    }
    crc = uio_crc32c_rec(crc, out, len);
    ++n;
    return true;
  };
  bool ok = put(&s.head, sizeof s.head, "SUSPEND write failed");
  if (ok && s.head.cns_count) {
    std::vector<uint8_t> words(s.cns.size() * kCnsRec, 0);
    for (size_t i = 0; i < s.cns.size(); ++i) std::memcpy(words.data() + i * kCnsRec, &s.cns[i], sizeof(FmCns));
    ok = put(s.cns_values.data(), s.cns_values.size(), "can't write constraint record") &&
         put(words.data(), words.size(), "can't write cdb record");
  }
  for (size_t i = 0; ok && i < s.records.size(); ++i) ok = put(s.records[i].data(), s.records[i].size(), "SUSPEND write failed");
  if (ok) {
    SuspEnd e;
    e.tag.set("QSUS");
    e.records = n;
    e.crc = crc;
    ok = put(&e, sizeof e, "SUSPEND write failed");
  }
  if (!FM_CLOSE(a, ok ? 0 : FM_CL_SCRATCH) && ok) {
    checkstat(kFault, "SUSPEND close failed", kMod, __LINE__);
    return 0;
  }
  return ok && pb_pend_add(ident);
}

int pb_susp_read(const FmFdb& ident, const std::vector<EmAreaEntry>* areas, PbSusp* out, uint32_t* status,
                 bool scratch) {
  FmFdb f = susp_fdb(ident);
  if (!FM_OPEN(&f, int(ident.pool), FM_OPT_NO_SYSDIR, 15, 15)) {
    *status = f.status == FM_ST_NOT_FOUND ? FM_ST_NOT_FOUND : uint32_t(f.status ? f.status : kFault);
    return 0;
  }
  FmArb* a = f.handle.get();
  std::vector<std::vector<uint8_t>> recs;
  uint8_t* in = io_buf();
  a->key_no = 0;
  a->op = FM_OP_FIRST;
  fm_start(a);
  a->op = 0;
  a->rec.set(in);
  a->rec_len = FM_MAX_REC;
  while (fm_rdnxt(a)) recs.emplace_back(in, in + a->len_read);
  bool eof = a->status == FM_ST_EOF;
  a->rec.reset();
  // The whole file, checked: header, constraints, the plan's records, the
  // closing count and sum.
  auto refuse = [&](const char* why) {
    (void)FM_CLOSE(a, 0);
    char t[80];
    std::snprintf(t, sizeof t, "read suspend: %s", why);
    checkstat(FM_ST_STRUCT, t, kMod, __LINE__);
    *status = FM_ST_STRUCT;
    return 0;
  };
  if (!eof) return refuse("unreadable");
  if (recs.empty() || recs.back().size() != sizeof(SuspEnd)) return refuse("no closing record");
  const SuspEnd& e = rec::view<SuspEnd>(recs.back().data());
  uint32_t crc = 0;
  for (size_t i = 0; i + 1 < recs.size(); ++i) crc = uio_crc32c_rec(crc, recs[i].data(), recs[i].size());
  if (!(e.tag == std::string_view("QSUS")) || e.records != recs.size() - 1 || e.crc != crc)
    return refuse("cut short or damaged");
  recs.pop_back();
  size_t at = 0;
  if (recs[at].size() != sizeof(PbSuspHead)) return refuse("bad header");
  PbSusp s;
  s.head = rec::view<PbSuspHead>(recs[at++].data());
  if (s.head.cns_count) {
    if (s.head.cns_count > FM_MAX_REC / kCnsRec || recs.size() < at + 2 || recs[at].size() != s.head.cns_len ||
        recs[at + 1].size() != size_t(s.head.cns_count) * kCnsRec)
      return refuse("suspend cns read failed");
    s.cns_values = recs[at++];
    const std::vector<uint8_t>& w = recs[at++];
    size_t sum = 0;
    for (uint32_t i = 0; i < s.head.cns_count; ++i) {
      FmCns c = rec::view<FmCns>(w.data() + i * kCnsRec);
      sum += c.length;
      s.cns.push_back(c);
    }
    if (sum > s.cns_values.size()) return refuse("suspend cdb read failed");
  }
  s.records.assign(recs.begin() + long(at), recs.end());
  if (areas) {
    std::vector<PbSuspEntry> plan = pb_susp_plan(*areas);
    if (plan.size() != s.records.size()) return refuse("areas differ");
    for (size_t i = 0; i < plan.size(); ++i)
      if (plan[i].size != s.records[i].size()) return refuse("areas differ");
  }
  if (!FM_CLOSE(a, scratch ? FM_CL_SCRATCH : 0) && scratch) checkstat(kFault, "can't scratch SUSPEND file", kMod, __LINE__);
  *out = std::move(s);
  return 1;
}

// ------------------------------------------------------ invoke_setup --
namespace {

PbInvokeSetup& invoke_fn() {
  static PbInvokeSetup f;
  return f;
}

// The query process run through the process runner for the user.
int run_query_process(const FmScbQuery& q, void* parent) {
  PiInvoc v;
  std::memset(static_cast<void*>(&v), 0, sizeof v);
  v.app = q.app;
  v.ver = q.ver;
  v.name = q.name;
  v.type = 5;
  v.kind = 0;
  v.auto_mode = 1;
  v.reserved2 = 255;
  v.key_path = 255;
  std::memset(v.query_app.data(), ' ', 3);
  std::memset(v.query_name.data(), ' ', 30);
  std::memset(v.pcf_app.data(), ' ', 3);
  std::memset(v.reserved_text.data(), ' ', 4);
  if (parent) v.parent_pcb.set(parent);
  pi_exec(&v);
  return 1;
}

}  // namespace

void pb_set_invoke_setup(PbInvokeSetup f) { invoke_fn() = std::move(f); }

int pb_invoke_setup(const FmScbQuery& q, void* parent) {
  return invoke_fn() ? invoke_fn()(q, parent) : run_query_process(q, parent);
}

int pb_load_suspend(const FmScbQuery& b, PbSuspLoaded* out) {
  char app[4] = {}, ver[3] = {}, name[31] = {};
  std::memcpy(app, b.app.data(), 3);
  std::memcpy(ver, b.ver.data(), 2);
  std::memcpy(name, b.name.data(), 30);
  for (int i = 29; i >= 0 && name[i] == ' '; --i) name[i] = 0;
  DProc def;
  if (!pb_get_dproc(app, name, ver, 5, &def, 0) && !pb_get_dproc(app, name, ver, 5, &def, kPbMemory)) return -1;
  FmFdb id;
  pb_susp_ident(app, ver, def, int(b.scope), &id);
  PbSusp s;
  uint32_t st = 0;
  int ok = pb_susp_read(id, nullptr, &s, &st, true);
  if (!ok && st == FM_ST_NOT_FOUND) {
    pb_invoke_setup(b, nullptr);
    ok = pb_susp_read(id, nullptr, &s, &st, true);
  }
  if (!ok) {
    if (st == FM_ST_NOT_FOUND) checkstat(st, "can't open SUSPEND file", kMod, __LINE__);
    return 0;
  }
  pb_pend_del(id);
  out->head = s.head;
  out->cns_values = std::move(s.cns_values);
  out->cns = std::move(s.cns);
  out->records = std::move(s.records);
  return 1;
}

void pb_auto_setup(void* pcb, const FmScb* list) {
  for (const FmScb* h = list; h; h = h->next.get()) {
    if (h->type != FM_SCB_PCF_QUERY) continue;
    const auto& q = *reinterpret_cast<const FmScbQuery*>(h);
    PbCounts c;
    if (q.reuse != 2 && pb_counts(int(q.scope), std::string(q.app.data(), 3).c_str(),
                                  std::string(q.name.data(), 30).c_str(), &c))
      return;
    char app[4] = {}, ver[3] = {}, name[31] = {};
    std::memcpy(app, q.app.data(), 3);
    std::memcpy(ver, q.ver.data(), 2);
    std::memcpy(name, q.name.data(), 30);
    for (int i = 29; i >= 0 && name[i] == ' '; --i) name[i] = 0;
    DProc def;
    if (!pb_get_dproc(app, name, ver, 5, &def, 0) && !pb_get_dproc(app, name, ver, 5, &def, kPbMemory)) return;
    FmFdb id;
    pb_susp_ident(app, ver, def, int(q.scope), &id);
    if (!pb_pend_has(id)) {
      pb_invoke_setup(q, pcb);
      if (!pb_pend_has(id)) return;
    }
  }
}
