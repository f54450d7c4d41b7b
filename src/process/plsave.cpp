// Saved module files and debug files: names, saving, loading, deletion.
// See pl.h (invariants 3-5 and the file layouts).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "files/fmcat.h"
#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/emrec.h"
#include "process/pigetd.h"
#include "process/pl.h"
#include "process/plint.h"


namespace {

constexpr const char* kMod = "PL.C";
constexpr uint32_t kStatusResave = 1, kStatusDeleted = 6;
// Status word of a module not saved (and completion of a saved file not
// loaded) because the file of its name holds another process's module.
constexpr uint32_t kStatusOtherProcess = 9;
// Completion of a saved file not loaded because someone other than this
// user and the data directory's owner could have written it.
constexpr uint32_t kStatusUntrusted = 10;
bool held_by_other(const EmHeader* em, FmFdb fdb);
bool same_key(const EmHeader* em, const PiInvoc& k);
constexpr uint32_t kMaxAreas = 1000000;

void sys_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
}

const char kValid[] = "BCDFGHJKLMNPQRSTVWXYZ0123456789";

// The last record of a saved module file.
struct EmTrailer {
  rec::Text<4> tag;        // "EMCK"
  rec::U32 records;        // records before this one
  rec::U32 crc;            // CRC-32C of those records, each as its u32 length and bytes
  rec::U32 format;         // kEmFormat
};
QV_RECORD(EmTrailer, 16);

// The debug file's header.
struct EmDbgHead {
  rec::U32 created_day;
  rec::U32 created_time;
  rec::U32 toc_count;
  rec::U32 trap_count;
};
QV_RECORD(EmDbgHead, 16);

// Record buffers in the arena, one for writing and one for reading.
struct Bufs {
  uint8_t out[FM_MAX_REC + 1];
  uint8_t in[FM_MAX_REC + 1];
  FmKdb kdb[FM_CAT_KDB_AREA];
  FmSdb sdb[FM_CAT_SDB_AREA];
};
Bufs* bufs() {
  static Bufs* b = static_cast<Bufs*>(arena::alloc_chunk(sizeof(Bufs)));
  return b;
}

// The identity of a module's saved file (path type 3) or debug file (4)
// under name.
void file_fdb(const EmHeader* em, int path_type, const char name[8], FmFdb* fdb) {
  INIT_FDB(fdb, FM_CLASS_DISK, FM_MAX_REC, 1, nullptr, 0);
  char db[4] = "   ";
  em_lang_db(em, db);
  char nm[9];
  std::memcpy(nm, name, 8);
  nm[8] = 0;
  char app[4], ver[3];
  std::memcpy(app, em->app.data(), 3);
  app[3] = 0;
  std::memcpy(ver, em->ver.data(), 2);
  ver[2] = 0;
  INIT_DB_PATH(fdb, db, app, ver, nm, path_type);
  fdb->options = FM_OPT_NO_SYSDIR;
  fdb->stamp[0] = 0xFFFFFFFFu;
  fdb->stamp[1] = 0xFFFFFFFFu;
}

// This engine's temporary name beside a saved file: '_' and the process id
// in base 36, so two engines saving the same module never share one.
void temp_name(char name[8]) {
  unsigned long v = static_cast<unsigned long>(getpid());
  name[0] = '_';
  for (int i = 7; i >= 1; --i) {
    name[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36];
    v /= 36;
  }
}

// The process id of a temporary name ('_' and seven base-36 digits), or 0
// for another name.
pid_t temp_pid(const char* name) {
  if (name[0] != '_' || std::strlen(name) != 8) return 0;
  uint64_t v = 0;
  for (int i = 1; i < 8; ++i) {
    const char c = name[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : -1;
    if (d < 0) return 0;
    v = v * 36 + uint64_t(d);
  }
  return v > 1 && v <= uint64_t(INT_MAX) ? pid_t(v) : 0;
}

bool pid_gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

// Directories swept by this engine state (pl_sweep_reset empties it).
std::set<std::string>& swept() {
  static std::set<std::string> s;
  return s;
}

// Removes, once per directory and engine state, the temporary files that
// engines killed while saving left in the directory of fdb: regular files
// named by a process id that no longer exists. A file is first taken under
// this engine's own temporary name (no other engine writes there) and its
// process looked for again: should an engine have started with that id
// meanwhile and begun its own file, that file is put back, never removed.
void sweep_stale(FmFdb fdb) {
  std::string path;
  if (!fm_os_path(&fdb, &path)) return;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  std::string dir = path.substr(0, slash);
  if (!swept().insert(dir).second) return;
  DIR* d = uio_opendir(dir.c_str());
  if (!d) return;
  std::vector<std::pair<std::string, pid_t>> stale;
  const pid_t self = getpid();
  while (dirent* e = readdir(d)) {
    pid_t pid = temp_pid(e->d_name);
    if (pid && pid != self && pid_gone(pid)) stale.emplace_back(e->d_name, pid);
  }
  closedir(d);
  char own[9] = {};
  temp_name(own);
  const std::string mine = dir + "/" + own;
  for (const auto& [name, pid] : stale) {
    const std::string from = dir + "/" + name;
    struct stat st;
    if (uio_lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (uio_rename(from.c_str(), mine.c_str()) != 0) continue;
    if (int e = pid_gone(pid) ? 0 : uio_link(mine.c_str(), from.c_str()); e && e != EEXIST)
      sys_err(__LINE__, "pl_put() - a temporary file could not be put back");
    uio_unlink(mine.c_str());
  }
}

void stamp_name(const EmHeader* em, char name[8]) {
  uint32_t st[2] = {em->created_day, em->created_time};
  pl_gen_nam(0, st, name);
}

// A name of this user's own for the module: the stamp's with the user id
// mixed in. Used where another user's file holds the stamp's name, which
// this user may neither trust nor (in the sticky directory) replace.
void own_name(const EmHeader* em, char name[8]) {
  uint32_t st[2] = {em->created_day, em->created_time ^ (uint32_t(geteuid()) * 2654435761u + 0x9E37u)};
  pl_gen_nam(0, st, name);
}

// Whether the stamp's name is held by a file of another user that this one
// may not replace: its directory is sticky and neither the file nor the
// directory is this user's (nor is the user root).
bool held_by_other_user(const EmHeader* em) {
  char name[8];
  stamp_name(em, name);
  FmFdb mod;
  file_fdb(em, FM_PT_MOD, name, &mod);
  std::string path;
  if (!fm_os_path(&mod, &path)) return false;
  struct stat fs, ds;
  const uid_t me = geteuid();
  if (me == 0 || lstat(path.c_str(), &fs) != 0 || fs.st_uid == me) return false;
  const std::string dir = path.substr(0, path.rfind('/'));
  return stat(dir.c_str(), &ds) == 0 && (ds.st_mode & S_ISVTX) && ds.st_uid != me;
}

// The name this user saves its module under, and loads it from when the
// stamp's name is another user's.
void save_name(const EmHeader* em, char name[8]) {
  if (held_by_other_user(em)) own_name(em, name);
  else stamp_name(em, name);
}

// Calls fn with every record of a memory sub-file, in key 0 order, in place.
template <class T, class F>
void each_record(FmArb* sub, F fn) {
  if (!sub) return;
  sub->key_no = 0;
  sub->op = FM_OP_FIRST;
  fm_start(sub);
  sub->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(sub, 0)) fn(reinterpret_cast<T*>(p));
  sub->op = 0;
}

int put_rec(FmArb* f, const void* p, size_t len) {
  uint8_t* out = bufs()->out;
  if (p != out) std::memcpy(out, p, len);
  f->rec.set(out);
  f->rec_len = uint16_t(len);
  f->op = 0;
  int ok = fm_write(f);
  f->rec.reset();
  return ok;
}

uint32_t crc_rec(uint32_t crc, const uint8_t* p, uint32_t len) {
  uint8_t lb[4];
  rec::view<rec::U32>(lb) = len;
  crc = uio_crc32c(lb, 4, crc);
  return uio_crc32c(p, len, crc);
}

// Reads the file from its first record to its end: the number of records,
// the CRC of all of them and the CRC of all but the last (which is left in
// the read buffer). False when a read fails before the end.
bool sum_file(FmArb* f, uint32_t* count, uint32_t* crc_all, uint32_t* crc_but_last, uint16_t* last_len) {
  uint8_t* in = bufs()->in;
  f->op = FM_OP_FIRST;
  if (!fm_start(f)) return false;
  f->rec.set(in);
  f->rec_len = FM_MAX_REC;
  f->op = 0;
  uint32_t n = 0, crc = 0, prev = 0;
  uint16_t len = 0;
  while (fm_rdnxt(f)) {
    prev = crc;
    len = f->len_read;
    crc = crc_rec(crc, in, len);
    ++n;
  }
  bool ok = f->status == FM_ST_EOF;
  f->rec.reset();
  *count = n;
  *crc_all = crc;
  *crc_but_last = prev;
  *last_len = len;
  return ok;
}

// The handle slots of the header as written: every handle and address
// zero (invariant 3). The two area indexes at 1320 and 1324 stay: a module
// is saved before relocation, when they are indexes, which the loader's
// relocation turns into addresses again. The word at 1280 is no handle:
// it is the compiler's count of summary entries, which a loaded module's
// reports need for their totals.
void clear_memory_fields(EmHeader* h) {
  h->area_addr.reset();
  for (const EmSub& s : em_subs) (h->*s.slot).reset();
  h->area_table.reset();
  h->use_count = 0;
  h->running_pcb.reset();
  h->toc.reset();
  h->trap.reset();
  h->pool = 0;
  h->pool_scope = 0;
  h->cur_ep = 0;
  h->block_bases.reset();
}

int write_dbg(EmHeader* em, FmFdb* fdb) {
  if (!FM_CREATE(fdb, com.base_scope, 0, FM_OPT_NO_SYSDIR, 15, 15)) return 0;
  FmArb* f = fdb->handle.get();
  EmDbgHead h;
  h.created_day = em->created_day;
  h.created_time = em->created_time;
  FmArb* toc = em->toc.get();
  FmArb* trap = em->trap.get();
  if (toc && !fm_is_handle(toc)) toc = nullptr;
  if (trap && !fm_is_handle(trap)) trap = nullptr;
  h.toc_count = toc ? uint32_t(em->toc_count) : 0u;
  h.trap_count = trap ? uint32_t(em->trap_count) : 0u;
  int ok = put_rec(f, &h, sizeof h);
  if (!ok) sys_err(__LINE__, "pl_put() - DBG header write");
  for (FmArb* w : {toc, trap}) {
    if (!ok || !w) continue;
    uint8_t* in = bufs()->in;
    w->key_no = 0;
    w->op = FM_OP_FIRST;
    if (!fm_start(w)) {
      sys_err(__LINE__, w == toc ? "pl_put() - DBG TOC start" : "DBG Trap start");
      ok = 0;
      break;
    }
    w->rec.set(in);
    w->rec_len = 12;
    w->op = 0;
    while (ok && fm_rdnxt(w))
      if (!put_rec(f, in, 12)) {
        sys_err(__LINE__, w == toc ? "pl_put() - DBG TOC write" : "pl_put() - DBG Trap write");
        ok = 0;
      }
    if (ok && w->status != FM_ST_EOF) {
      sys_err(__LINE__, w == toc ? "DBG TOC read" : "DBG Trap read");
      ok = 0;
    }
    w->rec.reset();
  }
  uint32_t st = ok ? 0 : f->status;
  if (!FM_CLOSE(f, FM_CL_KEEP)) {
    sys_err(__LINE__, "pl_put() - DBG close");
    st = f->status ? uint32_t(f->status) : uint32_t(FM_ST_SYS);
    ok = 0;
  }
  if (!ok) fdb->status = st ? st : uint32_t(FM_ST_SYS);
  return ok;
}

// Takes the group's write permission from this engine's own new file
// (never through a link, and never a file with another name: a file of this
// user's linked in under the name would become readable by the group).
void owner_only(FmFdb fdb) {
  std::string path;
  if (!fm_os_path(&fdb, &path)) return;
  int fd = uio_open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1)
    (void)fchmod(fd, 0640);
  close(fd);
}

// Scratches a file; a missing file is no failure.
void scratch_quiet(FmFdb fdb) { FM_SCRATCH(&fdb, 0); }

}  // namespace

void pl_sweep_reset() { swept().clear(); }

int pl_gen_nam(int, const uint32_t stamp[2], char name[8]) {
  uint32_t d = stamp[0] % 36500u;
  name[0] = kValid[d % 31];
  name[1] = kValid[(d / 31) % 31];
  uint32_t v = uint32_t((d / 961u) * 8640000u + stamp[1]);
  for (int k = 0; k < 6; ++k) {
    name[2 + k] = kValid[v % 31];
    v /= 31;
  }
  return 1;
}

int write_em(FmArb* f, EmHeader* em) {
  Bufs* b = bufs();
  // 1. The header, its memory fields zeroed.
  em->status = 0;
  auto* h = reinterpret_cast<EmHeader*>(b->out);
  std::memcpy(h, em, sizeof *h);
  clear_memory_fields(h);
  h->mark = kEmMark;
  h->b1[0] = uint8_t(kEmFormat);
  h->b1[1] = uint8_t(kEmFormat >> 8);
  h->b1[2] = uint8_t(kEmFormat >> 16);
  if (!put_rec(f, h, sizeof *h)) {
    sys_err(__LINE__, "EM header write failed");
    em->status = f->status;
    return 0;
  }
  // 2. The sub-files. The compile's dictionary handles in CAP are closed by
  //    now: the saved form keeps them zero.
  if (FmArb* cap = em->cap.get()) {
    cap->key_no = 0;
    cap->op = FM_OP_FIRST;
    fm_start(cap);
    cap->op = FM_OP_FAST;
    while (uint8_t* p = fm_rdnxt_fast(cap, 0))
      for (auto& w : reinterpret_cast<EmCap*>(p)->src) w = 0u;
    cap->op = 0;
  }
  // The images' screen texts are saved as rows after the area table: the
  // saved CIMG records hold no reference.
  std::vector<std::pair<EmCimg*, uint32_t>> texts;
  each_record<EmCimg>(em->cimg.get(), [&](EmCimg* r) {
    texts.emplace_back(r, uint32_t(r->text.off.get()));
    r->text.reset();
  });
  struct PutBack {
    std::vector<std::pair<EmCimg*, uint32_t>>& t;
    ~PutBack() {
      for (auto& [r, off] : t) r->text.off.set(off);
    }
  } put_back{texts};
  for (const EmSub& s : em_subs) {
    if (!s.saved) continue;
    FmArb* sub = (em->*s.slot).get();
    if (!sub || !fm_is_handle(sub)) sub = em_create_sub(em, s);
    if (!sub || !mm_save_fi(f, sub)) {
      sys_err(__LINE__, "EM SAVE FAILED");
      em->status = f->status ? uint32_t(f->status) : uint32_t(FM_ST_SYS);
      return 0;
    }
  }
  // 3. The area table.
  const uint8_t* table = em->area_table.get();
  for (uint32_t i = 0; i <= em->n_areas; ++i) {
    uint8_t zero[sizeof(EmAreaEntry)] = {};
    if (!put_rec(f, table ? table + i * sizeof(EmAreaEntry) : zero, sizeof(EmAreaEntry))) {
      sys_err(__LINE__, "bad dlf write");
      em->status = f->status;
      return 0;
    }
  }
  // 4. The image rows: per image (in sequence order) its rows, each of its
  //    columns' length.
  for (auto& [r, off] : texts) {
    const char* text = off ? static_cast<const char*>(arena::at(off)) : nullptr;
    int32_t rows = r->rows, cols = r->cols;
    if (!text || rows < 1 || cols < 1) continue;
    for (int32_t i = 0; i < rows; ++i)
      if (!put_rec(f, text + size_t(i) * size_t(cols), size_t(cols))) {
        sys_err(__LINE__, "CIMG write failed");
        em->status = f->status ? uint32_t(f->status) : uint32_t(FM_ST_SYS);
        return 0;
      }
  }
  // 5. The checksum of everything before.
  if (!pl_seal(f)) {
    em->status = f->status ? uint32_t(f->status) : uint32_t(FM_ST_SYS);
    return 0;
  }
  return 1;
}

int pl_seal(FmArb* f) {
  uint32_t n, crc, prev;
  uint16_t last;
  if (!sum_file(f, &n, &crc, &prev, &last)) return 0;
  EmTrailer t;
  t.tag.set("EMCK");
  t.records = n;
  t.crc = crc;
  t.format = kEmFormat;
  return put_rec(f, &t, sizeof t);
}

int pl_put(EmHeader* em) {
  if (!em) {
    sys_err(__LINE__, "pl_put() - got a NULL em pointer");
    return 0;
  }
  // Relocated code holds this engine's references (invariant 3).
  if (em->code_relocated) return 0;
  char name[8], tmp[8];
  save_name(em, name);
  temp_name(tmp);
  // The debug file first, unless only the stamps changed.
  if (em->status != kStatusResave) {
    FmFdb dbg, dtmp;
    file_fdb(em, FM_PT_DBG, name, &dbg);
    file_fdb(em, FM_PT_DBG, tmp, &dtmp);
    sweep_stale(dtmp);
    scratch_quiet(dtmp);
    if (!write_dbg(em, &dtmp)) {
      em->status = dtmp.status;
      scratch_quiet(dtmp);
      return 0;
    }
    if (!fm_replace(&dbg, &dtmp, 0)) {
      em->status = dbg.status;
      scratch_quiet(dtmp);
      return 0;
    }
    // The debugger reads the statement map from the debug file now.
    for (Ref<FmArb>* w : {&em->toc, &em->trap}) {
      FmArb* h = w->get();
      if (h && fm_is_handle(h) && !FM_CLOSE(h, FM_CL_SCRATCH))
        sys_err(__LINE__, w == &em->toc ? "pl_put() - TOC close" : "pl_put() - TRAP close");
      w->reset();
    }
  }
  FmFdb mod, mtmp;
  file_fdb(em, FM_PT_MOD, name, &mod);
  // Another process's module under this name stays; this one is used from
  // memory.
  if (held_by_other(em, mod)) {
    em->status = kStatusOtherProcess;
    return 1;
  }
  file_fdb(em, FM_PT_MOD, tmp, &mtmp);
  sweep_stale(mtmp);
  scratch_quiet(mtmp);
  if (!FM_CREATE(&mtmp, com.base_scope, 0, FM_OPT_NO_SYSDIR, 15, 15)) {
    // A file that cannot be made leaves the old one; the module is used
    // from memory.
    em->status = mtmp.status;
    return 1;
  }
  FmArb* f = mtmp.handle.get();
  int ok = write_em(f, em);
  uint32_t st = em->status;
  if (!FM_CLOSE(f, FM_CL_KEEP)) {
    sys_err(__LINE__, "em_arb close failed");
    st = f->status;
    ok = 0;
  }
  if (!ok) {
    em->status = st ? st : uint32_t(FM_ST_SYS);
    scratch_quiet(mtmp);
    return 0;
  }
  // Writable by this user alone: the loader trusts no module file that
  // another member could have changed (trusted_file).
  owner_only(mtmp);
  if (!fm_replace(&mod, &mtmp, 0)) {
    em->status = mod.status;
    scratch_quiet(mtmp);
    return 0;
  }
  em->status = 0;
  return 1;
}

int purge_em(EmHeader* em, int delete_saved, FmArb* saved) {
  remove_init_null(em);
  if (saved) {
    if (fm_is_handle(saved)) FM_CLOSE(saved, delete_saved == 1 ? FM_CL_SCRATCH : 0);
  } else if (delete_saved == 1) {
    char name[8];
    save_name(em, name);
    FmFdb mod;
    file_fdb(em, FM_PT_MOD, name, &mod);
    scratch_quiet(mod);
  }
  em_keep_subs(em);
  for (const EmSub& s : em_subs) {
    FmArb* h = (em->*s.slot).get();
    if (h && fm_is_handle(h) && !FM_CLOSE(h, FM_CL_SCRATCH)) sys_err(__LINE__, "bad EM subfile scratch");
    (em->*s.slot).reset();
  }
  for (Ref<FmArb>* w : {&em->toc, &em->trap}) {
    FmArb* h = w->get();
    if (h && fm_is_handle(h)) FM_CLOSE(h, FM_CL_SCRATCH);
    w->reset();
  }
  em->area_table.reset();
  if (Ref<uint8_t>* arr = em->area_addr.get()) mm_free(arr);
  em->area_addr.reset();
  em->status = kStatusDeleted;
  if (em->pool) mm_destroy_pool(em->pool);
  em->pool = 0;
  cache_remove(em);
  return 1;
}

namespace {

// Loads the next sub-file image of the saved file into sub-file s.
bool load_sub(FmArb* f, EmHeader* em, const EmSub& s) {
  Bufs* b = bufs();
  FmFdb fdb;
  em_sub_fdb(s, &fdb, b->kdb, b->sdb);
  if (!mm_load_fi(&fdb, f, com.base_scope)) return false;
  (em->*s.slot).set(fdb.handle.get());
  return true;
}


// A module read from a file keeps none of the slots the file held.
void clear_loaded(EmHeader* em) {
  each_record<EmCap>(em->cap.get(), [](EmCap* c) {
    for (auto& w : c->src) w = 0u;
  });
  each_record<EmCtok>(em->ctok.get(), [](EmCtok* t) { t->token_handle = uint16_t(0); });
  each_record<EmCfi>(em->cfi.get(), [](EmCfi* r) { r->fdb.handle.reset(); });
  each_record<EmCimg>(em->cimg.get(), [](EmCimg* r) { r->text.reset(); });
  each_record<EmCitm>(em->citm.get(), [](EmCitm* r) {
    r->wm.value.reset();
    r->wm.text.reset();
  });
}

// Whether a module header is of the process key (application, version,
// type, name).
bool same_key(const EmHeader* em, const PiInvoc& k) {
  return em->app == k.app.view() && em->ver == k.ver.view() && em->proc_type == k.type &&
         em->proc_name == k.name.view();
}

// Whether the saved module file of that identity holds another process's
// module (a readable header of another key): such a file is not replaced.
bool held_by_other(const EmHeader* em, FmFdb fdb) {
  FmFdb probe = fdb;
  if (!fm_locate(&probe)) return false;  // no file: nothing opened
  if (!FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR, 1, 15)) return false;
  FmArb* f = fdb.handle.get();
  Bufs* b = bufs();
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->rec.set(b->in);
  f->rec_len = FM_MAX_REC;
  f->op = 0;
  bool other = false;
  if (fm_rdnxt(f) && f->len_read == sizeof(EmHeader)) {
    const auto& h = rec::view<EmHeader>(b->in);
    other = h.mark == kEmMark && !(h.app == em->app.view() && h.ver == em->ver.view() &&
                                   h.proc_type == em->proc_type && h.proc_name == em->proc_name.view());
  }
  f->rec.reset();
  FM_CLOSE(f, 0);
  return other;
}

// 0 when the saved file of fdb may be read: a verifier is set and the file
// is trusted (os_trust_path: owned by this user or the data directory's
// owner, from the data directory down). Else the completion for load_em:
// FM_ST_NOT_FOUND when there is no file (or no verifier), kStatusUntrusted
// for a file someone else could have written (logged).
OsTrust trust_of(FmFdb fdb, std::string* where) {
  std::string path;
  if (!fm_os_path(&fdb, &path)) return OsTrust::Missing;
  return os_trust_data(path, where);
}

uint32_t trusted_file(const EmHeader* em, FmFdb fdb, const char* pname) {
  if (!em_verifier()) return FM_ST_NOT_FOUND;
  std::string where;
  OsTrust t = trust_of(fdb, &where);
  if (t == OsTrust::Ok) return 0;
  if (t == OsTrust::Missing) return FM_ST_NOT_FOUND;
  static const char* const kWhy[] = {"", "not a regular file", "owned by another user",
                                     "writable by other users", "in a directory others may change", ""};
  char line[PATH_MAX + 128];
  std::snprintf(line, sizeof line, "%.*s - UNTRUSTED EM (%s %s)\n", 30, pname, where.c_str(), kWhy[int(t)]);
  vfy_log_line(line);
  (void)em;
  return kStatusUntrusted;
}

// The saved file proved bad: it goes, and so does the module begun from it.
int reject_file(Pcb* pcb, EmHeader* em, FmArb* f, uint32_t status) {
  purge_em(em, 1, f);
  mm_free(em);
  pcb->invoc.completion = int32_t(status);
  return 0;
}

}  // namespace

int load_em(const DProc* def, Pcb* pcb) {
  Bufs* b = bufs();
  EmHeader* em = em_new_header(pcb);
  em->created_day = rec::view<rec::U32>(def->added.b);
  em->created_time = rec::view<rec::U32>(def->added.b + 4);
  em->changed_day = rec::view<rec::U32>(def->changed.b);
  em->changed_time = rec::view<rec::U32>(def->changed.b + 4);
  char name[8];
  stamp_name(em, name);
  FmFdb fdb;
  file_fdb(em, FM_PT_MOD, name, &fdb);
  // 0. Only a file this user or the data directory's owner wrote, where no
  //    one else can change or replace it, is read (and only while there is
  //    a verifier); any other is left as it is and the process compiles,
  //    its module saved over it where the directory lets this user replace
  //    the file, else under a name of this user's own (own_name), which
  //    is read instead from then on.
  uint32_t trust = trusted_file(em, fdb, pcb->invoc.name.data());
  if (trust == kStatusUntrusted && held_by_other_user(em)) {
    own_name(em, name);
    file_fdb(em, FM_PT_MOD, name, &fdb);
    trust = trusted_file(em, fdb, pcb->invoc.name.data());
  }
  if (uint32_t st = trust) {
    purge_em(em, 0, nullptr);
    mm_free(em);
    pcb->invoc.completion = int32_t(st);
    return 0;
  }
  // 1. Open; a file another engine holds is waited for.
  int ok = FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR, 1, 15);
  for (int tries = 0; !ok && fdb.status == FM_ST_BUSY; ++tries) {
    if (tries) sleep(2);
    ok = FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR, 1, 15);
  }
  if (!ok) {
    uint32_t st = fdb.status;
    if (st != FM_ST_NOT_FOUND) {
      // A file that is there but cannot be opened as a saved module is
      // damaged (a zero-filled file is no sequential file): it goes.
      char line[96];
      std::snprintf(line, sizeof line, "%.*s - can't open EM (%u)\n", 30, pcb->invoc.name.data(), st);
      vfy_log_line(line);
      scratch_quiet(fdb);
    }
    purge_em(em, 0, nullptr);
    mm_free(em);
    pcb->invoc.completion = int32_t(st);
    return 0;
  }
  FmArb* f = fdb.handle.get();
  if (!f) {
    sys_err(__LINE__, "NULL em_arb");
    purge_em(em, 0, nullptr);
    mm_free(em);
    return 0;
  }
  // 2. The checksum record: a file that does not end in a matching one is
  //    damaged (cut short, overwritten, changed).
  uint32_t n, crc, prev;
  uint16_t last;
  bool whole = sum_file(f, &n, &crc, &prev, &last);
  const auto& t = rec::view<EmTrailer>(b->in);
  if (!whole || n < 2 || last != sizeof(EmTrailer) || !(t.tag == "EMCK") || t.records != n - 1 ||
      t.crc != prev || t.format != kEmFormat) {
    char line[96];
    std::snprintf(line, sizeof line, "%.*s - DAMAGED EM\n", 30, pcb->invoc.name.data());
    vfy_log_line(line);
    return reject_file(pcb, em, f, FM_ST_STRUCT);
  }
  // 3. The header.
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->rec.set(b->in);
  f->rec_len = FM_MAX_REC;
  f->op = 0;
  if (!fm_rdnxt(f) || f->len_read != sizeof(EmHeader)) {
    f->rec.reset();
    return reject_file(pcb, em, f, f->status ? uint32_t(f->status) : uint32_t(FM_ST_STRUCT));
  }
  f->rec.reset();
  {
    MmPool pool = em->pool;
    uint32_t scope = em->pool_scope;
    std::memcpy(static_cast<void*>(em), b->in, sizeof *em);
    clear_memory_fields(em);
    em->pool = pool;
    em->pool_scope = scope;
  }
  // The file is named by the definition's stamp alone: one that holds
  // another process's module (a copy of the process, two processes given
  // one stamp) is refused and left as it is, and this process compiles.
  if (!same_key(em, pcb->invoc)) {
    char line[160];
    std::snprintf(line, sizeof line, "%.*s - OTHER PROCESS (%.3s %d %.30s)\n", 30, pcb->invoc.name.data(),
                  em->app.data(), int(em->proc_type), em->proc_name.data());
    vfy_log_line(line);
    FM_CLOSE(f, 0);
    purge_em(em, 0, nullptr);
    mm_free(em);
    pcb->invoc.completion = int32_t(kStatusOtherProcess);
    return 0;
  }
  // 4. Another engine's module (or another format): deleted, compiled.
  uint32_t version = em->b1[0] | uint32_t(em->b1[1]) << 8 | uint32_t(em->b1[2]) << 16;
  if (em->mark != kEmMark || version != kEmFormat || em->code_relocated || em->n_areas > kMaxAreas) {
    char line[96];
    std::snprintf(line, sizeof line, "%.*s - BAD Version (%d:%d)\n", 30, pcb->invoc.name.data(), int(em->mark),
                  int(kEmMark));
    vfy_log_line(line);
    return reject_file(pcb, em, f, FM_ST_STRUCT);
  }
  // The process's defaults go into predefined fields as they stand: a
  // header holding what no compile writes there is damaged.
  if (!em_dflts_sound(*em)) {
    char line[96];
    std::snprintf(line, sizeof line, "%.*s - BAD Defaults\n", 30, pcb->invoc.name.data());
    vfy_log_line(line);
    return reject_file(pcb, em, f, FM_ST_STRUCT);
  }
  // 5. The references, then verification against the dictionary.
  for (const char* label : {"CAP", "CFI", "CFLD", "CLIB"})
    if (!load_sub(f, em, *em_sub(label))) return reject_file(pcb, em, f, FM_ST_STRUCT);
  clear_loaded(em);
  bool rejected = false;
  if (!verify_em_ex(em, pcb->invoc.kind, def, f, pcb->lang.data(), &rejected) && rejected) {
    // verify_em closed the file and freed the module.
    pcb->invoc.completion = int32_t(kStatusDeleted);
    return 0;
  }
  // 6. The rest of the sub-files.
  em->use_count = 1;
  for (const EmSub& s : em_subs) {
    if (!s.saved || (em->*s.slot).get()) continue;
    if (!load_sub(f, em, s)) {
      em->use_count = 0;
      return reject_file(pcb, em, f, FM_ST_STRUCT);
    }
  }
  clear_loaded(em);
  // 7. The area table.
  size_t count = size_t(em->n_areas) + 1;
  auto* table = static_cast<uint8_t*>(MM_ALLOC(em->pool, count * sizeof(EmAreaEntry)));
  f->rec.set(b->in);
  f->rec_len = FM_MAX_REC;
  f->op = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!fm_rdnxt(f) || f->len_read != sizeof(EmAreaEntry)) {
      f->rec.reset();
      em->use_count = 0;
      return reject_file(pcb, em, f, FM_ST_STRUCT);
    }
    std::memcpy(table + i * sizeof(EmAreaEntry), b->in, sizeof(EmAreaEntry));
  }
  f->rec.reset();
  em->area_table.set(table);
  // 7b. The images' screen rows (an image of no rows or columns has none);
  //     a row of another length, or rows missing, is a damaged file.
  {
    std::vector<EmCimg*> images;
    each_record<EmCimg>(em->cimg.get(), [&](EmCimg* r) { images.push_back(r); });
    f->rec.set(b->in);
    f->rec_len = FM_MAX_REC;
    bool good = true;
    for (EmCimg* r : images) {
      int32_t rows = r->rows, cols = r->cols;
      if (rows < 1 || cols < 1) continue;
      std::string text;
      for (int32_t i = 0; i < rows && good; ++i) {
        good = fm_rdnxt(f) && f->len_read == uint32_t(cols);
        if (good) text.append(reinterpret_cast<const char*>(b->in), size_t(cols));
      }
      if (!good) break;
      auto* keep = static_cast<char*>(MM_ALLOC(em->pool, text.size()));
      std::memcpy(keep, text.data(), text.size());
      r->text.set(keep);
    }
    f->rec.reset();
    if (!good) {
      em->use_count = 0;
      return reject_file(pcb, em, f, FM_ST_STRUCT);
    }
  }
  // 8. The code and its tables, whoever wrote them, and the key and segment
  //    descriptors its file references name: a module that fails is deleted
  //    and the process compiled.
  bool keys_fit = true;
  FmKdb* keys;
  FmSdb* segs[256];
  fm_each_fast(em->cfi.get(), [&](uint8_t* p, uint32_t len) {
    const auto& r = *reinterpret_cast<const EmCfi*>(p);
    if (keys_fit && len >= sizeof(EmCfi) && r.fdb.kdb.off.get() && !em_cfi_keys(em, r, &keys, segs)) keys_fit = false;
  });
  if (!keys_fit || !em_code_sound(em, "SAVED")) {
    em->use_count = 0;
    return reject_file(pcb, em, f, FM_ST_STRUCT);
  }
  // 9. Stamps refreshed: the saved file is written again (before
  //    relocation); a save that fails leaves the module in use from memory.
  FM_CLOSE(f, 0);
  if (em->status == kStatusResave) {
    em->proc_name = pcb->invoc.name;
    em->proc_type = pcb->invoc.type;
    (void)pl_put(em);
  }
  pcb->module.set(em);
  return 1;
}

int pl_scratch(int, const char* app, const char* ver, int type, const char* name, uint32_t* status) {
  PiInvoc key;
  std::memset(static_cast<void*>(&key), ' ', sizeof key);
  key.app.set(std::string_view(app, strnlen(app, 3)));
  key.ver.set(std::string_view(ver, strnlen(ver, 2)));
  key.type = uint8_t(type);
  key.name.set(std::string_view(name, strnlen(name, 30)));
  MmPool plp = mm_create_pool(" PL_POOL", com.base_scope, 0);
  auto* def = static_cast<DProc*>(MM_ALLOC(plp, sizeof(DProc)));
  struct Free {
    void* p;
    ~Free() { mm_free(p); }
  } keep{def};
  uint32_t st = 0;
  if (!read_dproc(key, def, nullptr, &st)) {
    if (status) *status = st;
    return 0;
  }
  auto* em = reinterpret_cast<EmHeader*>(bufs()->out);
  std::memset(static_cast<void*>(em), 0, sizeof *em);
  em->app = key.app;
  em->ver = key.ver;
  em->lang.clear();
  em->created_day = rec::view<rec::U32>(def->added.b);
  em->created_time = rec::view<rec::U32>(def->added.b + 4);
  char nm[8];
  save_name(em, nm);
  FmFdb fdb;
  file_fdb(em, FM_PT_MOD, nm, &fdb);
  // Another process's module under this name is not this one's to delete.
  em->proc_type = key.type;
  em->proc_name = key.name;
  if (held_by_other(em, fdb)) {
    if (status) *status = kStatusOtherProcess;
    return 0;
  }
  int ok = FM_SCRATCH(&fdb, 0);
  if (status) *status = ok ? 0 : uint32_t(fdb.status);
  return ok;
}
