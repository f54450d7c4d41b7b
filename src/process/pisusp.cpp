// Suspend and resume: an independent run whose SUBMIT PROCESS holds '1'
// is written to a suspend file and submitted to the background; the
// background engine (quvo -s ID) reads it back and runs the process with
// the data it had.
//
// The suspend file (path type 7 of "0SA" 00, named by the session id, so
// that an engine that knows only the id finds it) is a sequential file of
// variable-length records:
//   1. SESSION (152): the invocation (kind 2, not independent, no
//      surfaces, no caller, no constraint addresses), the database id, the
//      total length of the constraint values;
//   2. with key constraints: their positions (6 bytes each), descriptors
//      (16 each) and values, each one record;
//   3. per temporary file of the process: its descriptor (72), its key
//      descriptors (12 per key) and one record of segment descriptors per
//      key, then its records as fm_save_fi writes them;
//   4. "SAAS";
//   5. per area class 0-12: the class number (4 bytes), then each SAA
//      record the process owns in that class, each followed by the contents
//      of its slots' areas in slot order;
//   6. "SUSP" with the count and CRC-32C of every record before it.
// Pending queries are not saved (query streams do not run).
//
// Decisions:
//   1. The file is written under a temporary name and linked to its id only
//      when complete (link fails on a name that exists: two suspensions in
//      one hundredth take the next free stamp), so no half-written file
//      ever bears an id and none is overwritten.
//   2. The background engine reads and checks the whole file before
//      anything runs (session_start): a file cut short, damaged, or of
//      wrong class numbers is refused with its reason and stays; it is
//      scratched only after the process has been given everything in it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files/fm.h"
#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pishr.h"
#include "process/pl.h"

namespace {

constexpr const char* kMod = "PISHR.C";

struct SessionRec {
  PiInvoc invoc;             // 0
  rec::Text<3> db;           // 144
  rec::U8 reserved;          // 147
  rec::U32 cns_values_len;   // 148
};
QV_RECORD(SessionRec, 152);
QV_AT(SessionRec, db, 144);
QV_AT(SessionRec, cns_values_len, 148);

struct SuspTrailer {
  rec::Text<4> tag;          // "SUSP"
  rec::U32 records;          // records before this one
  rec::U32 crc;              // their CRC-32C (each record's length, then its bytes)
};
QV_RECORD(SuspTrailer, 12);

uint8_t* io_buf() {
  static auto* b = static_cast<uint8_t*>(arena::alloc_chunk(FM_MAX_REC + 1));
  return b;
}

void suspend_fdb(FmFdb* fdb, const char name[8]) {
  INIT_FDB(fdb, FM_CLASS_DISK, FM_MAX_REC, 1, nullptr, 0);
  char nm[9];
  std::memcpy(nm, name, 8);
  nm[8] = 0;
  INIT_SA_PATH(fdb, nm, FM_PT_SESS);
  fdb->options = FM_OPT_NO_SYSDIR;
  fdb->stamp[0] = 0xFFFFFFFFu;
  fdb->stamp[1] = 0xFFFFFFFFu;
}

// The records of the suspend file as they are written: counted and summed.
struct Writer {
  FmArb* f = nullptr;
  uint32_t n = 0, crc = 0;
  bool put(const void* p, size_t len, const char* what) {
    if (len > FM_MAX_REC) {
      std::snprintf(ut_dbg, sizeof ut_dbg, "pi_suspend() - %s: record of %zu bytes", what, len);
      os_sys_err(kMod, __LINE__);
      return false;
    }
    uint8_t* out = io_buf();
    if (p != out && len) std::memcpy(out, p, len);
    f->rec.set(out);
    f->rec_len = uint16_t(len);
    f->op = 0;
    int ok = fm_write(f);
    f->rec.reset();
    if (!ok) {
      checkstat(f->status, what, kMod, __LINE__);
      return false;
    }
    crc = uio_crc32c_rec(crc, out, len);
    ++n;
    return true;
  }
};

// Every temporary (memory-resident) file of the process scope.
std::vector<FmFdb> temp_files() {
  std::vector<FmFdb> v;
  FmFdb list;
  INIT_FDB(&list, FM_CLASS_MEMORY, sizeof(FmFdb), 0, nullptr, 0);
  INIT_UNIQUE_PATH(&list, "PI", "ST", FM_PT_DATA);
  if (!FM_CREATE(&list, com.depth, 50, 0, 15, 15)) {
    checkstat(list.status, "can't create stf file", kMod, __LINE__);
    return v;
  }
  FmArb* l = list.handle.get();
  if (fm_find_fis(l)) {
    l->op = FM_OP_FIRST;
    fm_start(l);
    l->op = FM_OP_FAST;
    while (uint8_t* p = fm_rdnxt_fast(l, 0)) v.push_back(rec::view<FmFdb>(p));
    l->op = 0;
  }
  FM_CLOSE(l, FM_CL_SCRATCH);
  return v;
}

// One temporary file: descriptor, key and segment descriptors, records.
// A file that no longer opens (200340) is left out.
bool write_temp(Writer* w, FmFdb fdb) {
  FmFdb open = fdb;
  open.handle.reset();
  if (!fm__open(&open, com.depth)) {
    if (open.status == FM_ST_NOT_FOUND) return true;
    checkstat(open.status, "can't open temp file", kMod, __LINE__);
    return false;
  }
  FmArb* h = open.handle.get();
  struct Closer {
    FmArb* h;
    ~Closer() {
      if (h && fm_is_handle(h)) FM_CLOSE(h, 0);
    }
  } closer{h};
  FmFdb out = fdb;
  out.handle.reset();
  out.kdb.reset();
  out.status = 0;
  if (!w->put(&out, sizeof out, "can't write tmp fdb")) return false;
  int keys = fdb.key_count;
  const FmKdb* k = fdb.kdb.get();
  if (keys && k) {
    std::vector<FmKdb> ks(k, k + keys);
    for (FmKdb& x : ks) x.segs.reset();
    if (!w->put(ks.data(), ks.size() * sizeof(FmKdb), "can't write tmp kdb")) return false;
    for (int i = 0; i < keys; ++i)
      if (!w->put(k[i].segs.get(), size_t(k[i].seg_count) * sizeof(FmSdb), "can't write tmp sdb")) return false;
  }
  // Its records as fm_save_fi lays them out ("FMSV" and the count, then
  // the records), through the writer's count and sum.
  std::vector<std::vector<uint8_t>> recs;
  static auto* in = static_cast<uint8_t*>(arena::alloc_chunk(FM_MAX_REC + 1));
  h->key_no = 0;
  h->op = FM_OP_FIRST;
  fm_start(h);
  h->rec.set(in);
  h->rec_len = FM_MAX_REC;
  h->op = 0;
  while (fm_rdnxt(h)) recs.emplace_back(in, in + h->len_read);
  bool eof = h->status == FM_ST_EOF;
  h->rec.reset();
  if (!eof) {
    checkstat(h->status, "can't read temp file", kMod, __LINE__);
    return false;
  }
  uint8_t head[8] = {'F', 'M', 'S', 'V'};
  rec::view<rec::U32>(head + 4) = uint32_t(recs.size());
  if (!w->put(head, 8, "can't save temp file")) return false;
  for (const auto& r : recs)
    if (!w->put(r.data(), r.size(), "can't save temp file")) return false;
  return true;
}

}  // namespace

// ================================================================ suspend ==
namespace {

void temp_name(char name[8]) {
  unsigned long v = static_cast<unsigned long>(getpid());
  name[0] = '_';
  for (int i = 7; i >= 1; --i) {
    name[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36];
    v /= 36;
  }
}

std::string trimmed(const char* p, size_t n) {
  std::string s(p, n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// Writes everything but the trailer; false after the message.
bool write_body(Writer& w, Pcb* pcb) {
  auto* sess = static_cast<SessionRec*>(static_cast<void*>(io_buf()));
  std::memset(static_cast<void*>(sess), 0, sizeof *sess);
  sess->invoc = pcb->invoc;
  PiInvoc& v = sess->invoc;
  v.kind = 2;
  v.independent = 0;
  v.surface1 = 0;
  v.surface2 = 0;
  v.parent_pcb.reset();
  v.cns_positions.reset();
  v.cns_descs.reset();
  v.cns_values.reset();
  v.completion = 0;
  if (auto* a9 = pi_area_rec<PdArea9>(pcb, 9)) sess->db = a9->cur_db;
  else sess->db.clear();
  const PiInvoc& src = pcb->invoc;
  uint32_t ncns = src.cns_count;
  bool cns = ncns && src.cns_positions && src.cns_descs && src.cns_values;
  if (!cns) v.cns_count = 0;
  sess->cns_values_len = cns ? uint32_t(src.cns_total) : 0u;
  if (!w.put(sess, sizeof *sess, "SESSION write failed")) return false;
  if (cns) {
    if (!w.put(src.cns_positions.get(), 6 * size_t(ncns), "can't write constraints") ||
        !w.put(src.cns_descs.get(), 16 * size_t(ncns), "can't write constraints") ||
        !w.put(src.cns_values.get(), src.cns_total, "can't write constraints"))
      return false;
  }
  for (const FmFdb& fdb : temp_files())
    if (!write_temp(&w, fdb)) return false;
  if (!w.put("SAAS", 4, "can't write tmp fdb")) return false;
  for (uint32_t c = 0; c < uint32_t(kSaaClasses); ++c) {
    uint8_t cb[4];
    rec::view<rec::U32>(cb) = c;
    if (!w.put(cb, 4, "can't write shr_cat")) return false;
    for (SaaRec* r : pi_saa_owned(pcb, int(c))) {
      if (!w.put(r, r->bytes(), "can't write saa")) return false;
      if (r->count == 0xFFFFFFFFu) continue;
      SaaSlot* s = r->slots();
      for (uint32_t k = 1; k <= r->count; ++k) {
        uint8_t* a = s[k].area ? s[k].area.get() : s[k].handed.get();
        if (!a) continue;
        if (s[k].size == 0) {
          os_sys_err_text(kMod, __LINE__, "oops - no len");
          return false;
        }
        if (!w.put(a, s[k].size, s[k].area ? "can't write cur" : "can't write anc")) return false;
      }
    }
  }
  return true;
}

}  // namespace

int pi_suspend(Pcb* pcb) {
  char tmp[8];
  temp_name(tmp);
  FmFdb tf;
  suspend_fdb(&tf, tmp);
  FM_SCRATCH(&tf, 0);  // one this engine's process id left behind
  suspend_fdb(&tf, tmp);
  std::string tpath;
  if (!fm_os_path(&tf, &tpath)) {
    checkstat(tf.status, "can't create suspend file", kMod, __LINE__);
    return 0;
  }
  uio_mkdirs(tpath.substr(0, tpath.rfind('/')).c_str());
  if (!FM_CREATE(&tf, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15)) {
    checkstat(tf.status, "can't create suspend file", kMod, __LINE__);
    return 0;
  }
  Writer w;
  w.f = tf.handle.get();
  bool ok = write_body(w, pcb);
  if (ok) {
    // The closing record: the count and sum of all before it.
    SuspTrailer t;
    t.tag.set("SUSP");
    t.records = w.n;
    t.crc = w.crc;
    ok = w.put(&t, sizeof t, "SESSION write failed");
  }
  if (!FM_CLOSE(w.f, FM_CL_KEEP)) ok = false;
  if (!ok) {
    suspend_fdb(&tf, tmp);
    FM_SCRATCH(&tf, 0);
    return 0;
  }
  {
    // Only this engine's own regular file, with no other name: a file of
    // this user's linked in under the name (a key in the home directory)
    // never becomes readable by the group.
    int fd = uio_open(tpath.c_str(), O_RDONLY);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1)
      (void)fchmod(fd, 0640);
    if (fd >= 0) close(fd);
  }
  // The id: the time, taking the next hundredth while one is taken.
  HostTime now;
  os_quvo_time(&now);
  uint32_t st[2] = {now.day, now.hundredths};
  char id[8];
  FmFdb ff;
  std::string fpath;
  int err = EEXIST;
  for (int tries = 0; tries < 10000 && err == EEXIST; ++tries) {
    pl_gen_nam(0, st, id);
    suspend_fdb(&ff, id);
    if (!fm_os_path(&ff, &fpath)) break;
    err = uio_link(tpath.c_str(), fpath.c_str());
    if (err == EEXIST && ++st[1] >= 8640000u) {
      st[1] = 0;
      ++st[0];
    }
  }
  uio_unlink(tpath.c_str());
  if (err) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "pi_suspend() - can't name the suspend file (%s)", std::strerror(err));
    os_sys_err(kMod, __LINE__);
    return 0;
  }
  // The submit script's arguments from the process data fields.
  auto* a1 = pi_area_rec<PdArea1>(pcb, 1);
  std::string notify = a1 ? trimmed(a1->notify.data(), sizeof a1->notify) : "";
  std::string priority = a1 ? trimmed(a1->priority.data(), sizeof a1->priority) : "";
  std::string user = trimmed(com.user_id.data(), 3);
  OsSubmit fields{};
  fields.notify = notify;
  fields.priority = priority;
  fields.user = user;
  // A submit that fails with a system error (no script) may unwind: the
  // file is scratched all the same.
  int status = -1;
  if (mark(0, [&] { status = os_submit(id, fields); }) != 1) status = -1;
  if (status != 0) {
    // A job that was not submitted leaves no file behind.
    FM_SCRATCH(&ff, 0);
    char text[96];
    std::snprintf(text, sizeof text, "the background job was not submitted (status %d)", status);
    la_sys_err(text, 0);
    std::fprintf(stderr, "quvo: %s\n", text);
    return 0;
  }
  return 1;
}

// ================================================================= resume ==
namespace {

// What a suspend file gives the process that resumes it, read and checked
// whole before anything runs.
struct Image {
  std::string id;
  FmFdb fdb;
  SessionRec sess;
  std::vector<uint8_t> cns_pos, cns_desc, cns_values;
  size_t first_file = 0;  // the record number of the first file's descriptor
  std::vector<std::vector<uint8_t>> saas[kSaaClasses];  // SAA records with their slot contents after
  bool loaded = false;
  bool applied = false;
};
Image& image() {
  static Image i;
  return i;
}

// The records of a file, in order.
bool read_all(FmFdb fdb, std::vector<std::vector<uint8_t>>* out, std::string* why) {
  fdb.handle.reset();
  if (!fm__open(&fdb, com.depth)) {
    *why = "can't open suspend file (" + la_text(fdb.status) + ")";
    return false;
  }
  FmArb* f = fdb.handle.get();
  uint8_t* in = io_buf();
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->rec.set(in);
  f->rec_len = FM_MAX_REC;
  f->op = 0;
  while (fm_rdnxt(f)) out->emplace_back(in, in + f->len_read);
  bool ok = f->status == FM_ST_EOF;
  if (!ok) *why = "read failed (" + la_text(f->status) + ")";
  f->rec.reset();
  FM_CLOSE(f, 0);
  return ok;
}

bool parse(const std::vector<std::vector<uint8_t>>& recs, Image* im, std::string* why) {
  auto bad = [&](const std::string& w) {
    *why = w;
    return false;
  };
  if (recs.empty()) return bad("sess read failed: the file is empty");
  // The trailer first: every record is there and as written.
  const auto& last = recs.back();
  if (last.size() != sizeof(SuspTrailer) || std::memcmp(last.data(), "SUSP", 4) != 0)
    return bad("the file is not complete (no closing record)");
  SuspTrailer t = rec::view<SuspTrailer>(const_cast<uint8_t*>(last.data()));
  uint32_t crc = 0;
  for (size_t i = 0; i + 1 < recs.size(); ++i) crc = uio_crc32c_rec(crc, recs[i].data(), recs[i].size());
  if (t.records != recs.size() - 1 || t.crc != crc) return bad("the file is damaged (its check sum differs)");
  size_t at = 0, end = recs.size() - 1;
  if (recs[0].size() != sizeof(SessionRec)) return bad("sess read failed: a SESSION record of another length");
  im->sess = rec::view<SessionRec>(const_cast<uint8_t*>(recs[0].data()));
  const PiInvoc& v = im->sess.invoc;
  if (v.type < 1 || v.type > 10 || v.kind != 2) return bad("sess read failed: not a suspended invocation");
  at = 1;
  uint32_t ncns = v.cns_count;
  if (ncns) {
    if (at + 3 > end || recs[at].size() != 6 * size_t(ncns) || recs[at + 1].size() != 16 * size_t(ncns) ||
        recs[at + 2].size() != im->sess.cns_values_len)
      return bad("constraints read failed");
    im->cns_pos = recs[at];
    im->cns_desc = recs[at + 1];
    im->cns_values = recs[at + 2];
    for (uint32_t i = 0; i < ncns; ++i) {
      const auto& d = rec::view<PiCnsDesc>(im->cns_desc.data() + 16 * i);
      if (uint64_t(d.value_at) + d.length > im->cns_values.size()) return bad("constraints read failed");
    }
    at += 3;
  }
  im->first_file = at;
  // Files: a descriptor, its keys and segments, a save head and its records.
  while (at < end && recs[at].size() == sizeof(FmFdb)) {
    FmFdb fdb = rec::view<FmFdb>(const_cast<uint8_t*>(recs[at].data()));
    ++at;
    if (fdb.fclass != FM_CLASS_MEMORY) return bad("fdb read failed: not a temporary file");
    int keys = fdb.key_count;
    if (keys) {
      if (at >= end || recs[at].size() != size_t(keys) * sizeof(FmKdb)) return bad("fdb read failed: key descriptors");
      const uint8_t* kb = recs[at].data();
      ++at;
      for (int k = 0; k < keys; ++k) {
        const auto& kd = rec::view<FmKdb>(const_cast<uint8_t*>(kb) + k * sizeof(FmKdb));
        if (at >= end || kd.seg_count == 0 || recs[at].size() != size_t(kd.seg_count) * sizeof(FmSdb))
          return bad("fdb read failed: segment descriptors");
        ++at;
      }
    }
    if (at >= end || recs[at].size() != 8 || std::memcmp(recs[at].data(), "FMSV", 4) != 0)
      return bad("fdb read failed: the file's records");
    uint32_t count = rec::view<rec::U32>(const_cast<uint8_t*>(recs[at].data()) + 4);
    if (count > end - at - 1) return bad("fdb read failed: the file's records are cut short");
    at += 1 + count;
  }
  if (at >= end || recs[at].size() != 4 || std::memcmp(recs[at].data(), "SAAS", 4) != 0)
    return bad("the shared areas are missing (no SAAS record)");
  ++at;
  for (uint32_t c = 0; c < uint32_t(kSaaClasses); ++c) {
    if (at >= end || recs[at].size() != 4 || rec::view<rec::U32>(const_cast<uint8_t*>(recs[at].data())) != c)
      return bad("wrong class record (class " + std::to_string(c) + " expected)");
    ++at;
    while (at < end && recs[at].size() != 4) {
      const auto& r = recs[at];
      if (r.size() < sizeof(SaaRec)) return bad("saa read failed: a short record");
      SaaRec h = rec::view<SaaRec>(const_cast<uint8_t*>(r.data()));
      uint32_t count = h.count == 0xFFFFFFFFu ? 0 : uint32_t(h.count);
      if (count > 100000 || r.size() != 32 + 16 * size_t(count)) return bad("saa read failed: a record of another length");
      std::vector<uint8_t> blob = r;
      ++at;
      const uint8_t* slots = r.data() + 16;
      for (uint32_t k = 1; k <= count; ++k) {
        const auto& s = rec::view<SaaSlot>(const_cast<uint8_t*>(slots) + 16 * k);
        if (!s.area && !s.handed) continue;
        if (at >= end || recs[at].size() != s.size || s.size == 0) return bad("area read failed");
        blob.insert(blob.end(), recs[at].begin(), recs[at].end());
        ++at;
      }
      im->saas[c].push_back(std::move(blob));
    }
  }
  if (at != end) return bad("records after the last class");
  return true;
}

}  // namespace

bool pi_session_start(PiInvoc* inv, std::string_view session) {
  Image& im = image();
  im = Image{};
  char id[8];
  std::memset(id, ' ', 8);
  std::memcpy(id, session.data(), std::min<size_t>(8, session.size()));
  im.id.assign(id, 8);
  suspend_fdb(&im.fdb, id);
  std::string path, why;
  std::vector<std::vector<uint8_t>> recs;
  bool ok = fm_os_path(&im.fdb, &path);
  if (!ok) why = "no path for the suspend file";
  if (ok) {
    std::string where;
    OsTrust t = os_trust_data(path, &where);
    if (t == OsTrust::Missing) {
      ok = false;
      why = "can't open suspend file " + path + ": there is none";
    } else if (t != OsTrust::Ok) {
      ok = false;
      why = "the suspend file " + path + " could have been written by another user (" + where + ")";
    }
  }
  if (ok) ok = read_all(im.fdb, &recs, &why);
  if (ok) ok = parse(recs, &im, &why);
  if (!ok) {
    std::fprintf(stderr, "quvo: background session %.*s: %s; nothing runs, the file stays\n",
                 int(session.size()), session.data(), why.c_str());
    im.loaded = false;
    return false;
  }
  *inv = im.sess.invoc;
  if (!im.sess.db.blank()) {
    com.startup_db = im.sess.db;
    com.cur_db = im.sess.db;
  }
  im.loaded = true;
  return true;
}

bool pi_resuming(const Pcb* pcb) {
  const Image& im = image();
  // The suspended process itself (not a hook process started before it).
  return im.loaded && !im.applied && pcb && std::memcmp(&pcb->invoc, &im.sess.invoc, 36) == 0;
}

void pi_resume(Pcb* pcb) {
  Image& im = image();
  if (!im.loaded || im.applied) return;
  im.applied = true;
  MmPool pool = pi_pool();
  // The key constraints, rebuilt in the PCB's invocation.
  PiInvoc& v = pcb->invoc;
  if (v.cns_count && !im.cns_pos.empty()) {
    auto copy = [&](const std::vector<uint8_t>& b) {
      auto* p = static_cast<uint8_t*>(MM_ALLOC(pool, b.size() ? b.size() : 1));
      if (!b.empty()) std::memcpy(p, b.data(), b.size());
      return p;
    };
    v.cns_positions.set(copy(im.cns_pos));
    v.cns_descs.set(copy(im.cns_desc));
    v.cns_values.set(copy(im.cns_values));
    v.cns_total = uint32_t(im.cns_values.size());
  }
  // The temporary files, loaded from the file into the process pool's scope.
  FmFdb sf = im.fdb;
  sf.handle.reset();
  if (fm__open(&sf, com.depth)) {
    FmArb* f = sf.handle.get();
    uint8_t* in = io_buf();
    f->op = FM_OP_FIRST;
    fm_start(f);
    f->rec.set(in);
    f->rec_len = FM_MAX_REC;
    f->op = 0;
    size_t n = 0;
    while (n < im.first_file && fm_rdnxt(f)) ++n;
    while (fm_rdnxt(f) && f->len_read == sizeof(FmFdb)) {
      auto* fdb = static_cast<FmFdb*>(MM_ALLOC(pool, sizeof(FmFdb)));
      std::memcpy(static_cast<void*>(fdb), in, sizeof *fdb);
      int keys = fdb->key_count;
      FmKdb* kdb = nullptr;
      if (keys) {
        fm_rdnxt(f);
        kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * size_t(keys)));
        std::memcpy(static_cast<void*>(kdb), in, sizeof(FmKdb) * size_t(keys));
        for (int k = 0; k < keys; ++k) {
          fm_rdnxt(f);
          auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, f->len_read));
          std::memcpy(static_cast<void*>(sdb), in, f->len_read);
          kdb[k].segs.set(sdb);
        }
      }
      fdb->kdb.set(kdb);
      fdb->handle.reset();
      f->rec.reset();
      if (!fm_load_fi(fdb, f, pcb->pool_scope)) checkstat(fdb->status, "tmp load failed", kMod, __LINE__);
      else if (FmArb* h = fdb->handle.get(); h && fm_is_handle(h) && !FM_CLOSE(h, 0))
        checkstat(h->status, "tmp close failed", kMod, __LINE__);
      f->rec.set(in);
      f->rec_len = FM_MAX_REC;
      f->op = 0;
    }
    f->rec.reset();
    FM_CLOSE(f, 0);
  }
  // The shared areas: this PCB owns them, their contents kept.
  for (int c = 0; c < kSaaClasses; ++c)
    for (const std::vector<uint8_t>& blob : im.saas[c]) {
      const auto& h = rec::view<SaaRec>(const_cast<uint8_t*>(blob.data()));
      uint32_t count = h.count == 0xFFFFFFFFu ? 0 : uint32_t(h.count);
      size_t rlen = 32 + 16 * size_t(count);
      auto* r = static_cast<SaaRec*>(MM_ALLOC(pool, rlen));
      std::memcpy(static_cast<void*>(r), blob.data(), rlen);
      r->owner.set(pcb);
      size_t at = rlen;
      SaaSlot* s = r->slots();
      for (uint32_t k = 1; k <= count; ++k) {
        bool has = s[k].area || s[k].handed;
        s[k].handed.reset();
        if (!has) {
          s[k].area.reset();
          continue;
        }
        const uint8_t* content = blob.data() + at;
        at += s[k].size;
        if (s[k].kind == 1) {
          // A file control area comes back empty: the process opens its files.
          s[k].area.reset();
          s[k].received = 0;
          continue;
        }
        auto* a = static_cast<uint8_t*>(MM_ALLOC(pool, s[k].size));
        std::memcpy(a, content, s[k].size);
        s[k].area.set(a);
        s[k].received = 2;
      }
      if (!pi_saa_put(pcb, c, r)) os_sys_err_text(kMod, __LINE__, "pi_resume() - saa write failed");
    }
}

void pi_session_forget() { image() = Image{}; }

void pi_resume_done() {
  Image& im = image();
  if (!im.applied) return;
  FmFdb f = im.fdb;
  f.handle.reset();
  FM_SCRATCH(&f, 0);
  im.loaded = false;
}
