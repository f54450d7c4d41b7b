// The file manager's file operations: descriptors, identities, paths,
// back-end choice, create / open / close / scratch / locate / replace, the
// scope release of files, and the handle bookkeeping.
//
// Paths. A file identity and its path type map to an operating-system path
// through a template per path type. The template of path type T is the
// environment variable QUVO_PATH_<T> (DATA, STRUCT, MOD, DBG, PORT, PRINT,
// SESS), so an environment file can override it; the default is
// "{QUVOPATH}/<t>/{dir}/{name}" with <t> the lower-case type name. Fields:
//   {QUVOPATH}  the data directory (QUVOPATH must be set when used)
//   {dir}       dict/<source app><source version> for dictionary files (application "0AD");
//               <app><version> for the system applications; <database>/<app><version>
//               for the others (<app><version> when the database is blank)
//   {name} {app} {ver} {db} {src_app} {src_ver} {type}
// Identity texts are trimmed; characters other than letters, digits, '-' and
// '_' become '_'. A directory given with fm_set_next_path (open option
// FM_OPT_NEXT_PATH) replaces everything up to the name.
//
// SYSDIR. Opening or creating a disk file without FM_OPT_NO_SYSDIR looks up
// its entry in SYSDIR of System Administration: key database, application
// and version (for "0AD" files the source application and version; "0LA"
// keeps its version, other applications two blanks) and file name. No entry:
// 200490. An entry whose option byte (567) is '0' withdraws the file (it is
// being restructured): 200390. An entry with a directory (bytes 20-275) not
// blank places the file in that directory: the path of such a disk file
// (fm_os_path, and so every back end's open, create, locate, scratch and
// rename, and the back-end choice) is that directory and the file name,
// whether or not the operation itself insists on the entry.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "files/brf.h"
#include "files/fmcat.h"
#include "files/fmint.h"
#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {

// The translation of translated fields: the conversion layer's tables.
int cv_tables_xlate(const char* table, const char* lang, char* text, size_t len, const char* app,
                    const char* ver) {
  return cv_xlate_text(app, ver, lang, table, text, len);
}

// ------------------------------------------------------------ state --
struct State {
  bool init = false;
  MmPool pool = 0;
  std::vector<const FmHandlers*> tables{nullptr};  // index 0: none
  const FmHandlers* backends[8] = {};
  FmChooser chooser = fm_default_chooser;
  FmQueryAttach query_attach = nullptr;
  const FmEventProcs* events = nullptr;
  FmXlate xlate = cv_tables_xlate;
  std::string next_path;
  // handles
  std::vector<FmArb*> by_id{nullptr};
  std::vector<uint32_t> free_ids;
  std::vector<std::vector<FmArb*>> by_scope;   // live handles per scope
  size_t top = 0;                              // the scopes from it up hold no handle
  std::deque<FmArb*> quarantine;               // closed handles, reused last
  std::vector<FmFile*> free_files;
  size_t live = 0;
  uint32_t unique = 0;
  int lenient_sysdir = 0;  // > 0: opens and creates do not insist on a SYSDIR entry
  // fm_cache
  struct Image {
    uint8_t* data;
    uint32_t len;
    uint32_t use;
  };
  std::map<std::string, Image> images;
};

State& S() {
  static State s;
  return s;
}

void release_files(int depth);

void ensure_init() {
  State& s = S();
  if (s.init) return;
  s.init = true;
  s.pool = mm_create_pool(" FM_POOL   ", 0, 0);
  s.by_scope.resize(kComMaxScopes + 2);
  fm_register_backend(FM_BE_MEMORY, &fmi::mem_handlers);
  fm_register_backend(FM_BE_SEQ, &fmi::seq_handlers);
  fm_register_backend(FM_BE_NATIVE, &brf_handlers);
  s.chooser = brf_chooser;
  fm_serve_foundation();
  static bool hooked = false;  // the hook outlives a shutdown
  if (!hooked) ut_on_release(Release::Files, release_files);
  hooked = true;
}

std::string trim(const char* p, size_t n) {
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == 0)) --n;
  return std::string(p, n);
}
template <size_t N>
std::string trim(const rec::Text<N>& t) { return trim(t.data(), N); }

std::string safe(const std::string& s) {
  std::string r;
  for (char c : s) {
    bool good = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '_';
    r += good ? c : '_';
  }
  return r;
}

int norm_scope(int scope) {
  if (scope < 0) return 0;
  if (scope > com.depth) return com.depth;
  return scope;
}

// A file's scope: the owning pool's for FM_OPT_MEMORY, else the argument.
int file_scope(const FmFdb* fdb, int scope) {
  if (fdb->options & FM_OPT_MEMORY) {
    int ps = mm_pool_scope(fdb->pool);
    if (ps >= 0) return norm_scope(ps);
  }
  return norm_scope(scope);
}

bool is_sys_app(const rec::Text<3>& app) {
  char a[4] = {app[0], app[1], app[2], 0};
  return IS_ZUB_AP(a);
}

// A database file without a database takes the current database.
void complete_identity(FmFdb* fdb) {
  if (fdb->kind == FM_KIND_UNIQUE || fdb->fclass == FM_CLASS_MEMORY) return;
  if (fdb->path_type != FM_PT_DATA || !fdb->db.blank() || is_sys_app(fdb->app)) return;
  if (fdb->app.blank()) return;
  std::memcpy(fdb->db.data(), com.cur_db.data(), 3);
}

// ------------------------------------------------------------ handles --
FmArb* new_handle(FmFile* f, uint8_t fns, int scope, uint8_t state) {
  State& s = S();
  FmArb* a = nullptr;
  if (s.quarantine.size() > 1024) {
    a = s.quarantine.front();
    s.quarantine.pop_front();
  } else {
    a = static_cast<FmArb*>(MM_ALLOC(s.pool, sizeof(FmArb)));
    if (!a) return nullptr;
  }
  *a = fm_fad;
  uint32_t id;
  if (!s.free_ids.empty()) {
    id = s.free_ids.back();
    s.free_ids.pop_back();
    s.by_id[id] = a;
  } else {
    id = uint32_t(s.by_id.size());
    s.by_id.push_back(a);
  }
  a->fm_id = id;
  a->state = state;
  a->fns = fns;
  a->file.set(f);
  a->scope = uint16_t(scope);
  s.by_scope[scope].push_back(a);
  if (size_t(scope) >= s.top) s.top = size_t(scope) + 1;
  ut_add_to_lst(&f->handles, a, &a->link);
  f->use = f->use + 1;
  ++s.live;
  return a;
}

// Whether a, a block of the arena, is an open handle.
bool live_block(const FmArb* a) {
  State& s = S();
  return a->state != FM_HS_CLOSED && a->fm_id < s.by_id.size() && s.by_id[a->fm_id] == a;
}
bool live(const FmArb* a) { return a && arena::contains(a) && live_block(a); }

// Marks a handle closed and forgets it (its block is reused later).
void drop_handle(FmArb* a) {
  State& s = S();
  FmFile* f = a->file.get();
  if (f) {
    ut_remove_from_lst(&f->handles, a, &a->link);
    f->use = f->use - 1;
  }
  auto& v = s.by_scope[a->scope];
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i] == a) {
      v[i] = v.back();
      v.pop_back();
      break;
    }
  s.by_id[a->fm_id] = nullptr;
  s.free_ids.push_back(a->fm_id);
  if (a->scb) {
    mm_free(a->scb.get());
    a->scb.reset();
  }
  a->state = FM_HS_CLOSED;
  --s.live;
  s.quarantine.push_back(a);
}

FmFile* new_file(const FmFdb* fdb, uint8_t backend, uint8_t fns, int scope) {
  State& s = S();
  FmFile* f;
  if (!s.free_files.empty()) {
    f = s.free_files.back();
    s.free_files.pop_back();
    std::memset(static_cast<void*>(f), 0, sizeof *f);
  } else {
    f = static_cast<FmFile*>(MM_ALLOC(s.pool, sizeof(FmFile)));
  }
  f->fdb = *fdb;
  f->fdb.handle.reset();
  f->fdb.kdb.reset();
  f->fdb.status = 0;
  f->backend = backend;
  f->fns = fns;
  f->scope = uint16_t(scope);
  return f;
}

// Copies key descriptors with their segments into one block of the pool.
FmKdb* copy_keys(const FmKdb* src, int count) {
  if (!src || count <= 0) return nullptr;
  size_t nseg = 0;
  for (int k = 0; k < count; ++k) nseg += src[k].seg_count;
  size_t size = count * sizeof(FmKdb) + nseg * sizeof(FmSdb);
  auto* block = static_cast<uint8_t*>(MM_ALLOC(S().pool, size));
  auto* kd = reinterpret_cast<FmKdb*>(block);
  auto* sd = reinterpret_cast<FmSdb*>(block + count * sizeof(FmKdb));
  for (int k = 0; k < count; ++k) {
    kd[k] = src[k];
    size_t n = src[k].seg_count;
    if (n) std::memcpy(static_cast<void*>(sd), src[k].segs.get(), n * sizeof(FmSdb));
    kd[k].segs.set(n ? sd : nullptr);
    sd += n;
  }
  return kd;
}

void free_file(FmFile* f) {
  if (f->kdb) {
    mm_free(f->kdb.get());
    f->kdb.reset();
  }
  S().free_files.push_back(f);
}

const FmHandlers* table(const FmArb* a) { return fm_handlers(a->fns); }

// ------------------------------------------------------------ SYSDIR --
// 1 found (entry copied), 0 with the status in fdb.
int sysdir_lookup(FmFdb* fdb, FmSysdirRec* entry) {
  MmPool pool = S().pool;
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * 2));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * 8));
  auto* buf = static_cast<FmSysdirRec*>(MM_ALLOC(pool, sizeof(FmSysdirRec)));
  FmFdb sd;
  INIT_DSYSDIR_FDB(&sd, kdb, sdb);
  INIT_SA_PATH(&sd, "SYSDIR  ", FM_PT_DATA);
  int result = 0;
  if (!FM_OPEN(&sd, com.depth, FM_OPT_NO_SYSDIR, 1, 15)) {
    fdb->status = sd.status == FM_ST_NOT_FOUND ? FM_ST_NO_SYSDIR : uint32_t(sd.status);
  } else {
    FmArb* a = sd.handle.get();
    buf->db.set(fdb->db.view());
    if (fdb->app == "0AD") {
      buf->app.set(fdb->src_app.view());
      buf->ver.set(fdb->src_ver.view());
    } else {
      buf->app.set(fdb->app.view());
      buf->ver.set(fdb->app == "0LA" ? fdb->ver.view() : "  ");
    }
    buf->name.set(fdb->name.view());
    PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(buf));
    a->op = FM_OP_EQUAL;
    if (fm_read(a)) {
      *entry = *buf;
      result = 1;
    } else {
      fdb->status = a->status == FM_ST_NO_RECORD ? FM_ST_NO_SYSDIR : uint32_t(a->status);
    }
    FM_CLOSE(a, 0);
  }
  mm_free(buf);
  mm_free(sdb);
  mm_free(kdb);
  return result;
}

bool is_sysdir(const FmFdb* fdb) { return fdb->app == "0SA" && fdb->name == "SYSDIR"; }

// Whether the SYSDIR rule applies to a described file.
bool sysdir_applies(const FmFdb* fdb) {
  return fdb->fclass == FM_CLASS_DISK && !(fdb->options & FM_OPT_NO_SYSDIR) && !is_sysdir(fdb);
}

// SYSDIR is a shared data file: its directories are confined to the data
// directory. A relative directory lies under QUVOPATH; an absolute one must
// name QUVOPATH or a directory below it, also once symbolic links in the part
// that exists are followed; no component may be "..". "" when the entry's
// directory is refused (why says so).
std::string confined(const std::string& stored, std::string* why) {
  const char* q = std::getenv("QUVOPATH");
  if (!q || !*q) {
    *why = "no data directory (QUVOPATH) to place it in";
    return "";
  }
  std::string root = q;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  for (size_t i = 0; i <= stored.size();) {
    size_t e = stored.find('/', i);
    if (e == std::string::npos) e = stored.size();
    if (stored.compare(i, e - i, "..") == 0 && e - i == 2) {
      *why = "its directory " + stored + " climbs out with \"..\"";
      return "";
    }
    i = e + 1;
  }
  std::string dir = stored;
  if (dir[0] != '/') dir = root + "/" + dir;
  else if (!ut_path_within(dir, root)) {
    *why = "its directory " + stored + " lies outside the data directory " + root;
    return "";
  }
  // The part of the directory that exists, with its links followed.
  char real_root[PATH_MAX], real_dir[PATH_MAX];
  if (::realpath(root.c_str(), real_root)) {
    std::string probe = dir;
    while (!probe.empty() && !::realpath(probe.c_str(), real_dir)) probe = probe.substr(0, probe.find_last_of('/'));
    if (!probe.empty()) {
      if (!ut_path_within(real_dir, real_root)) {
        *why = "its directory " + stored + " leads outside the data directory " + root;
        return "";
      }
    }
  }
  return dir;
}

// The directory the file's SYSDIR entry places it in, in *out ("" when there
// is no entry or it names no directory); 0 with 200650 when the entry's
// directory is refused.
int placed_dir(FmFdb* fdb, std::string* out) {
  out->clear();
  if (!sysdir_applies(fdb)) return 1;
  FmFdb probe = *fdb;
  FmSysdirRec e;
  if (!sysdir_lookup(&probe, &e) || e.dir.blank()) return 1;
  std::string why;
  *out = confined(e.dir.str(), &why);
  if (out->empty())
    return fmi::bad(fdb, "the SYSDIR entry of %s is refused: %s", fmi::ident_text(*fdb).c_str(), why.c_str());
  return 1;
}

// Applies the SYSDIR rule to a disk file that is opened or created; 1 to go on.
int check_sysdir(FmFdb* fdb) {
  if (!sysdir_applies(fdb) || S().lenient_sysdir > 0) return 1;
  FmSysdirRec e;
  if (!sysdir_lookup(fdb, &e)) return 0;
  if (e.option == '0') return fmi::fail(fdb, FM_ST_BUSY);
  return 1;
}

// --------------------------------------------------------- open/create --
uint8_t choose(const FmFdb* fdb, const FmHandlers** fns, FmFdb* status_to) {
  State& s = S();
  uint8_t type = s.chooser(fdb);
  const FmHandlers* t = type < 8 ? s.backends[type] : nullptr;
  if (!t) {
    fmi::bad(status_to, "no back end for %s (file class %d, back end %d)", fmi::ident_text(*fdb).c_str(),
             int(fdb->fclass), int(type));
    return 0;
  }
  *fns = t;
  return type;
}

int validate(FmFdb* fdb) {
  if (fdb->path_type < 1 || fdb->path_type > 7)
    return fmi::bad(fdb, "unknown path type %d of %s", int(fdb->path_type), fmi::ident_text(*fdb).c_str());
  if (fdb->fclass != FM_CLASS_DISK && fdb->fclass != FM_CLASS_MEMORY)
    return fmi::bad(fdb, "unknown file class %d of %s", int(fdb->fclass), fmi::ident_text(*fdb).c_str());
  return 1;
}

// A free unique name for a work file.
void unique_name(FmFdb* fdb, const FmHandlers* fns) {
  State& s = S();
  for (int tries = 0; tries < 1000000; ++tries) {
    char name[16];
    std::snprintf(name, sizeof name, "%08X", ++s.unique);
    fdb->name.set(name);
    FmFdb probe = *fdb;
    if (!fns->locate || !fns->locate(&probe)) return;
  }
}

int open_file(FmFdb* fdb, int scope, bool create) {
  ensure_init();
  State& s = S();
  fdb->status = 0;
  fdb->os_err = 0;
  fdb->handle.reset();
  if (!validate(fdb)) return 0;
  complete_identity(fdb);
  const FmHandlers* fns = nullptr;
  uint8_t type = choose(fdb, &fns, fdb);
  if (!type) return 0;
  scope = file_scope(fdb, scope);
  if (create || fdb->key_count) {
    if (fdb->key_count > FM_MAX_KEYS)
      return fmi::bad(fdb, "%d keys for %s (at most %zu)", int(fdb->key_count),
                      fmi::ident_text(*fdb).c_str(), FM_MAX_KEYS);
    if (fdb->key_count && !fdb->kdb) {
      if (create) return fmi::bad(fdb, "no key descriptors for %s", fmi::ident_text(*fdb).c_str());
    } else if (create) {
      std::string why = fmi::check_keys(fdb->kdb.get(), fdb->key_count, fdb->rec_len);
      if (!why.empty()) return fmi::bad(fdb, "%s: %s", fmi::ident_text(*fdb).c_str(), why.c_str());
    }
    if (create && (fdb->rec_len == 0 || fdb->rec_len > FM_MAX_REC))
      return fmi::bad(fdb, "record length %d of %s", int(fdb->rec_len), fmi::ident_text(*fdb).c_str());
  }
  if (!check_sysdir(fdb)) return 0;
  if (create && fdb->kind == FM_KIND_UNIQUE && fdb->name.blank()) unique_name(fdb, fns);
  if (fdb->name.blank()) {
    if (!create) return fmi::fail(fdb, FM_ST_NOT_FOUND);
    return fmi::bad(fdb, "no file name for %s", fmi::ident_text(*fdb).c_str());
  }
  int fns_ix = fm_register_handlers(fns);
  FmFile* f = new_file(fdb, type, uint8_t(fns_ix), scope);
  if (fdb->kdb && fdb->key_count) {
    bool ref_ok = arena::contains(fdb->kdb.get());
    if (ref_ok) f->kdb.set(copy_keys(fdb->kdb.get(), fdb->key_count));
  }
  f->fdb.kdb = f->kdb;
  FmArb* a = new_handle(f, uint8_t(fns_ix), scope, FM_HS_OPEN);
  int rc = 1;
  if (fns->alloc_fi && !fns->alloc_fi(f)) rc = 0;
  if (rc && fns->alloc_id && !fns->alloc_id(a)) rc = 0;
  if (rc) {
    if (create) {
      rc = fns->create ? fns->create(a) : fmi::bad(a, "the back end cannot create files");
    } else {
      rc = fns->open ? fns->open(a) : fmi::bad(a, "the back end cannot open files");
      if (!rc && a->status == FM_ST_NOT_FOUND && (fdb->options & FM_OPT_CREATE) && fns->create) {
        if (f->kdb || !f->fdb.key_count) {
          a->status = 0;
          rc = fns->create(a);
        }
      }
    }
  }
  if (fdb->options & FM_OPT_NEXT_PATH) s.next_path.clear();
  if (!rc) {
    fdb->status = a->status ? uint32_t(a->status) : FM_ST_SYS;
    fdb->os_err = a->os_err;
    if (fns->free_id) fns->free_id(a);
    drop_handle(a);
    if (fns->free_fi) fns->free_fi(f);
    free_file(f);
    return 0;
  }
  a->status = 0;
  // The back end describes the file as it is: the file block keeps its own copy.
  if (f->fdb.kdb != f->kdb) {
    FmKdb* mine = f->fdb.key_count ? copy_keys(f->fdb.kdb.get(), f->fdb.key_count) : nullptr;
    if (f->kdb) mm_free(f->kdb.get());
    f->kdb.set(mine);
  }
  f->fdb.kdb = f->kdb;
  if (fdb->kind == FM_KIND_UNIQUE) fdb->name = f->fdb.name;
  fdb->scope = uint16_t(scope);
  fdb->handle.set(a);
  return 1;
}

// Closes a stream (or a query stream) of a file.
int detach_impl(FmArb* a) {
  const FmHandlers* fns = table(a);
  int rc = 1;
  if (a->state == FM_HS_QUERY) {
    if (fns && fns->detach) rc = fns->detach(a, a);
  } else if (fns && fns->detach) {
    rc = fns->detach(a, a);
  }
  uint32_t st = a->status;
  if (fns && fns->free_id) fns->free_id(a);
  FmFile* f = a->file.get();
  drop_handle(a);
  a->status = st;
  if (f && f->use == 0) {
    const FmHandlers* ft = fm_handlers(f->fns);
    if (ft && ft->free_fi) ft->free_fi(f);
    free_file(f);
  }
  return rc;
}

int close_impl(FmArb* a, int options) {
  State& s = S();
  if (a->state == FM_HS_STREAM || a->state == FM_HS_QUERY) {
    if (a->state == FM_HS_QUERY) {
      const FmHandlers* q = table(a);
      a->op = uint16_t(options);
      if (q && q->close) q->close(a, a);
    }
    return detach_impl(a);
  }
  FmFile* f = a->file.get();
  // Streams attached to this handle go first.
  std::vector<FmArb*> streams;
  fmi::each_handle(f, [&](FmArb* h) {
    if (h != a && h->parent.get() == a) streams.push_back(h);
  });
  for (FmArb* h : streams) detach_impl(h);
  const FmHandlers* fns = table(a);
  a->op = uint16_t(options);
  int rc = fns && fns->close ? fns->close(a, a) : 1;
  uint32_t st = rc ? 0 : uint32_t(a->status);
  bool last = f->use == 1;
  if (last && !(options & FM_CL_NO_EVENT) && f->evt && s.events && s.events->end_proc) {
    const FmEventProcs* ev = s.events;
    mark(5, [&] { ev->end_proc(f); });
  }
  // (A memory file: the one this handle reaches, of the scopes that have one.)
  void* bound = (options & FM_CL_SCRATCH) && fmi::is_mem(a) ? fmi::mem_bound_file(a) : nullptr;
  if (fns && fns->free_id) fns->free_id(a);
  drop_handle(a);
  a->status = st;
  if (f->use == 0) {
    if ((options & FM_CL_SCRATCH) && fns && fns->scratch) {
      FmFdb victim = f->fdb;
      if (bound) fmi::mem_scratch_bound(bound, &victim);
      else fns->scratch(&victim);
    }
    if (fns && fns->free_fi) fns->free_fi(f);
    free_file(f);
  }
  return rc;
}

// The scope release stage of files.
void release_files(int depth) {
  State& s = S();
  if (!s.init) return;
  // A release at every compile and invocation: only the scopes that may
  // hold handles are looked at.
  const size_t low = size_t(depth > 0 ? depth : 0);
  for (size_t sc = std::min(s.top, s.by_scope.size()); sc-- > low;) {
    auto& v = s.by_scope[sc];
    if (v.empty()) continue;
    // Streams first, then open handles.
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<FmArb*> list;
      for (FmArb* a : v)
        if ((pass == 0) == (a->state == FM_HS_STREAM || a->state == FM_HS_QUERY)) list.push_back(a);
      for (FmArb* a : list)
        if (live(a)) close_impl(a, 0);
    }
  }
  while (s.top > 0 && s.by_scope[s.top - 1].empty()) --s.top;
  fmi::mem_release_scope(depth);
}

}  // namespace

// =================================================== internals (fmi) ==
namespace fmi {

int fail(FmArb* a, uint32_t status) {
  a->status = status;
  return 0;
}
int fail(FmFdb* f, uint32_t status) {
  f->status = status;
  return 0;
}
static void sys_text(const char* fmt, va_list ap) {
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  la_sys_err(text, 0);
}
int bad(FmArb* a, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  sys_text(fmt, ap);
  va_end(ap);
  a->status = FM_ST_SYS;
  return 0;
}
int bad(FmFdb* f, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  sys_text(fmt, ap);
  va_end(ap);
  f->status = FM_ST_SYS;
  return 0;
}

bool make_dirs(const std::string& file_path) {
  size_t slash = file_path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  if (int e = uio_mkdirs(file_path.substr(0, slash).c_str())) {
    errno = e;
    return false;
  }
  return true;
}

std::string ident_text(const FmFdb& f) {
  char b[96];
  std::snprintf(b, sizeof b, "%.3s %.2s %.8s db %.3s src %.3s %.2s type %d", f.app.data(), f.ver.data(),
                f.name.data(), f.db.data(), f.src_app.data(), f.src_ver.data(), int(f.path_type));
  return b;
}

MmPool pool() {
  ensure_init();
  return S().pool;
}

void close_for_destroy(FmArb* a) {
  if (live(a)) close_impl(a, FM_CL_NO_EVENT);
}

}  // namespace fmi

// ====================================================== registries ==
int fm_register_handlers(const FmHandlers* fns) {
  State& s = S();
  for (size_t i = 1; i < s.tables.size(); ++i)
    if (s.tables[i] == fns) return int(i);
  s.tables.push_back(fns);
  return int(s.tables.size() - 1);
}

const FmHandlers* fm_handlers(int index) {
  State& s = S();
  return index > 0 && size_t(index) < s.tables.size() ? s.tables[index] : nullptr;
}

void fm_register_backend(uint8_t type, const FmHandlers* fns) {
  if (type < 8) S().backends[type] = fns;
  if (fns) fm_register_handlers(fns);
}

const FmHandlers* fm_backend(uint8_t type) {
  ensure_init();
  return type < 8 ? S().backends[type] : nullptr;
}

void fm_set_chooser(FmChooser chooser) { S().chooser = chooser ? chooser : fm_default_chooser; }

uint8_t fm_default_chooser(const FmFdb* fdb) {
  if (fdb->fclass == FM_CLASS_MEMORY) return FM_BE_MEMORY;
  return fdb->key_count == 0 && fdb->org != FM_ORG_KEYED ? FM_BE_SEQ : FM_BE_NATIVE;
}

void fm_set_handlers(FmArb* a, const FmHandlers* fns) { a->fns = uint8_t(fm_register_handlers(fns)); }
void fm_set_query_attach(FmQueryAttach fn) { S().query_attach = fn; }
FmQueryAttach fm_query_attach_hook() { return S().query_attach; }
void fm_set_event_procs(const FmEventProcs* procs) { S().events = procs; }
void fm_set_event_proc(FmArb* a, void* evt) {
  if (live(a)) a->file->evt.set(evt);
}
const FmEventProcs* fm_event_procs() { return S().events; }
void fm_set_xlate(FmXlate fn) { S().xlate = fn ? fn : cv_tables_xlate; }

void fms_init() { ensure_init(); }

void fm_shutdown() {
  State& s = S();
  if (!s.init) return;
  release_files(0);
  fmi::mem_shutdown();
  // Everything of the file manager's own lives in its pool: handles, file
  // blocks, key copies, cached images. The registrations stay.
  mm_destroy_pool(s.pool);
  State fresh;
  fresh.tables = std::move(s.tables);
  std::copy(std::begin(s.backends), std::end(s.backends), std::begin(fresh.backends));
  fresh.chooser = s.chooser;
  fresh.query_attach = s.query_attach;
  fresh.events = s.events;
  fresh.xlate = s.xlate;
  s = std::move(fresh);
}

size_t fm_open_count() { return S().live; }
size_t fm_memfile_count() { return fmi::mem_count(); }

// ====================================================== descriptors ==
static FmFdb make_default_fdb() {
  FmFdb f;
  std::memset(static_cast<void*>(&f), 0, sizeof f);
  f.app.clear();
  f.ver.clear();
  f.name.clear();
  f.db.clear();
  f.src_app.clear();
  f.src_ver.clear();
  f.path_type = FM_PT_DATA;
  f.fclass = FM_CLASS_DISK;
  f.org = FM_ORG_PLAIN;
  f.access = 15;
  f.share = 15;
  f.stamp[0] = 0xFFFFFFFFu;
  f.stamp[1] = 0xFFFFFFFFu;
  return f;
}
static FmArb make_default_arb() {
  FmArb a;
  std::memset(static_cast<void*>(&a), 0, sizeof a);
  a.lock_wait = -1;
  a.rid_len = 4;
  a.lang_from.clear();
  a.lang_to.clear();
  return a;
}
static FmKdb make_default_kdb() {
  FmKdb k;
  std::memset(static_cast<void*>(&k), 0, sizeof k);
  k.order = '+';
  k.flags = 8;
  return k;
}
const FmFdb fm_fdb = make_default_fdb();
const FmArb fm_fad = make_default_arb();
const FmKdb fm_kdb = make_default_kdb();

void INIT_FDB(FmFdb* fdb, int fclass, int rec_len, int var, FmKdb* kdb, int key_count) {
  *fdb = fm_fdb;
  fdb->fclass = uint8_t(fclass);
  fdb->rec_len = uint16_t(rec_len);
  fdb->var = uint8_t(var ? 1 : 0);
  fdb->kdb.set(key_count > 0 ? kdb : nullptr);
  fdb->key_count = uint8_t(key_count);
  fdb->org = key_count > 0 ? FM_ORG_KEYED : FM_ORG_PLAIN;
}

void INIT_FDB_NUM(FmFdb* fdb, int fclass, int rec_len, int var, uint32_t kdb_rec, int key_count) {
  INIT_FDB(fdb, fclass, rec_len, var, nullptr, key_count);
  fdb->kdb.off.set(kdb_rec);
}

void INIT_KDB(FmKdb* kdb, int key_no, int order, int flags, FmSdb* segs, int seg_count) {
  *kdb = fm_kdb;
  kdb->key_no = uint8_t(key_no);
  kdb->order = uint8_t(order ? order : '+');
  kdb->flags = uint8_t(flags | (key_no == 0 ? FM_KEY_PRIMARY : 0));
  kdb->seg_count = uint8_t(seg_count);
  kdb->segs.set(seg_count > 0 ? segs : nullptr);
  int len = 0;
  for (int i = 0; i < seg_count; ++i) len += segs[i].length;
  kdb->key_len = uint16_t(len);
}

FmSdb* init_sdb_func(FmSdb* sdb, int field, int offset, int length, int type, int order) {
  sdb->field = uint16_t(field);
  sdb->offset = uint16_t(offset);
  sdb->length = uint16_t(length);
  sdb->type = uint8_t(type);
  sdb->order = uint8_t(order ? order : '+');
  return sdb;
}

// ======================================================== identities ==
static void set_ident(FmFdb* f, const char* app, const char* ver, const char* name, const char* db,
                      const char* src_app, const char* src_ver, int path_type) {
  f->app.set(app ? std::string_view(app, strnlen(app, 3)) : "");
  f->ver.set(ver ? std::string_view(ver, strnlen(ver, 2)) : "");
  f->name.set(name ? std::string_view(name, strnlen(name, 8)) : "");
  f->db.set(db ? std::string_view(db, strnlen(db, 3)) : "");
  f->src_app.set(src_app ? std::string_view(src_app, strnlen(src_app, 3)) : "");
  f->src_ver.set(src_ver ? std::string_view(src_ver, strnlen(src_ver, 2)) : "");
  f->path_type = uint8_t(path_type);
  f->kind = FM_KIND_NAMED;
}

void INIT_UNIQUE_PATH(FmFdb* fdb, const char* area, const char* code, int path_type) {
  char app[4] = {' ', area && area[0] ? area[0] : ' ', area && area[0] && area[1] ? area[1] : ' ', 0};
  char db[4] = {' ', code && code[0] ? code[0] : ' ', code && code[0] && code[1] ? code[1] : ' ', 0};
  // A file code longer than two characters (" IFNS   ") names the file whole.
  bool whole = code && strnlen(code, 3) > 2;
  set_ident(fdb, app, "00", whole ? code : "", whole ? "" : db, com.cur_app.data(),
            com.cur_ver.data(), path_type);
  fdb->src_app = com.cur_app;
  fdb->src_ver = com.cur_ver;
  fdb->kind = FM_KIND_UNIQUE;
  fdb->fclass = FM_CLASS_MEMORY;
}

void INIT_SRC_PATH(FmFdb* fdb, const char* app, const char* ver, const char* name, int path_type) {
  set_ident(fdb, "0AD", "00", name, "", app, ver, path_type);
}

void INIT_SA_PATH(FmFdb* fdb, const char* name, int path_type) {
  set_ident(fdb, "0SA", "00", name, "", "", "", path_type);
}

void INIT_LA_PATH(FmFdb* fdb, const char* ver, const char* name, int path_type) {
  set_ident(fdb, "0LA", ver, name, "", "", "", path_type);
}

void INIT_DB_PATH(FmFdb* fdb, const char* db, const char* app, const char* ver, const char* name,
                  int path_type) {
  set_ident(fdb, app, ver, name, db, "", "", path_type);
}

void INIT_TMP_PATH(FmFdb* fdb, const char* app, const char* ver, const char* name, int scope) {
  set_ident(fdb, app, ver, name, "", "", "", FM_PT_DATA);
  fdb->kind = FM_KIND_TEMP;
  fdb->fclass = FM_CLASS_MEMORY;
  fdb->scope = uint16_t(scope < 0 ? 0 : scope);
}

// ============================================================== paths ==
static const char* type_name(int t) {
  static const char* names[] = {"", "data", "struct", "mod", "dbg", "port", "print", "sess"};
  return t >= 1 && t <= 7 ? names[t] : nullptr;
}

void fm_set_next_path(const char* path) { S().next_path = path ? trim(path, std::strlen(path)) : ""; }

int fm_os_path(FmFdb* fdb, std::string* path) {
  ensure_init();
  const char* tn = type_name(fdb->path_type);
  if (!tn) return fmi::bad(fdb, "unknown path type %d of %s", int(fdb->path_type), fmi::ident_text(*fdb).c_str());
  std::string app = safe(trim(fdb->app)), ver = safe(trim(fdb->ver)), db = safe(trim(fdb->db));
  std::string src_app = safe(trim(fdb->src_app)), src_ver = safe(trim(fdb->src_ver));
  std::string name = safe(trim(fdb->name));
  if (name.empty()) return fmi::bad(fdb, "no file name for %s", fmi::ident_text(*fdb).c_str());
  std::string dir;
  if (fdb->app == "0AD") dir = "dict/" + src_app + src_ver;
  else if (is_sys_app(fdb->app)) dir = app + ver;
  else dir = db.empty() ? app + ver : db + "/" + app + ver;
  if (fdb->options & FM_OPT_NEXT_PATH) {
    const std::string& np = S().next_path;
    if (!np.empty()) {
      *path = np + (np.back() == '/' ? "" : "/") + name;
      return 1;
    }
  }
  std::string placed;
  if (!placed_dir(fdb, &placed)) return 0;
  if (!placed.empty()) {
    *path = placed + (placed.back() == '/' ? "" : "/") + name;
    return 1;
  }
  std::string var = std::string("QUVO_PATH_") + tn;
  for (char& c : var) c = char(std::toupper(static_cast<unsigned char>(c)));
  const char* t = std::getenv(var.c_str());
  std::string tmpl = t && *t ? t : std::string("{QUVOPATH}/") + tn + "/{dir}/{name}";
  std::string out;
  for (size_t i = 0; i < tmpl.size();) {
    if (tmpl[i] == '{') {
      size_t e = tmpl.find('}', i);
      if (e == std::string::npos) return fmi::bad(fdb, "bad path template %s", tmpl.c_str());
      std::string f = tmpl.substr(i + 1, e - i - 1);
      if (f == "QUVOPATH") {
        const char* q = std::getenv("QUVOPATH");
        if (!q || !*q) return fmi::bad(fdb, "QUVOPATH is not set (path of %s)", fmi::ident_text(*fdb).c_str());
        out += q;
      } else if (f == "dir") out += dir;
      else if (f == "name") out += name;
      else if (f == "app") out += app;
      else if (f == "ver") out += ver;
      else if (f == "db") out += db;
      else if (f == "src_app") out += src_app;
      else if (f == "src_ver") out += src_ver;
      else if (f == "type") out += tn;
      else return fmi::bad(fdb, "unknown field {%s} in path template %s", f.c_str(), tmpl.c_str());
      i = e + 1;
    } else {
      out += tmpl[i++];
    }
  }
  *path = out;
  return 1;
}

// ============================================================== files ==
int FM_CREATE(FmFdb* fdb, int scope, uint32_t expect, uint32_t options, int access, int share) {
  fdb->options = options;
  fdb->expect = expect;
  fdb->access = uint8_t(access);
  fdb->share = uint8_t(share);
  return open_file(fdb, scope, true);
}

int FM_OPEN(FmFdb* fdb, int scope, uint32_t options, int access, int share) {
  fdb->options = options;
  fdb->access = uint8_t(access);
  fdb->share = uint8_t(share);
  return open_file(fdb, scope, false);
}

int fm__open(FmFdb* fdb, int scope) { return open_file(fdb, scope, false); }

int fm__create(FmArb** out, FmFdb* fdb, int scope) {
  int rc = open_file(fdb, scope, true);
  if (out) *out = rc ? fdb->handle.get() : nullptr;
  return rc;
}

int FM_CLOSE(FmArb* a, int options) {
  ensure_init();
  if (!a) return 0;
  if (!live(a)) return arena::contains(a) ? fmi::fail(a, FM_ST_NO_STREAM) : 0;
  return close_impl(a, options);
}

int fm__close(FmArb* a) { return FM_CLOSE(a, 0); }

int fm_detach(FmArb* strm) {
  ensure_init();
  if (!strm) return 0;
  if (!live(strm)) return arena::contains(strm) ? fmi::fail(strm, FM_ST_NO_STREAM) : 0;
  if (strm->state != FM_HS_STREAM && strm->state != FM_HS_QUERY)
    return fmi::bad(strm, "fm_detach of a handle that was not attached");
  return detach_impl(strm);
}

int FM_SCRATCH(FmFdb* fdb, int options) {
  ensure_init();
  (void)options;
  fdb->status = 0;
  if (!validate(fdb)) return 0;
  complete_identity(fdb);
  if (fdb->name.blank()) return fmi::fail(fdb, FM_ST_NOT_FOUND);
  const FmHandlers* fns = nullptr;
  if (!choose(fdb, &fns, fdb)) return 0;
  if (!fns->scratch) return fmi::bad(fdb, "the back end cannot scratch files");
  int rc = fns->scratch(fdb);
  if (fdb->options & FM_OPT_NEXT_PATH) S().next_path.clear();
  return rc;
}

int fm_locate(FmFdb* fdb) {
  ensure_init();
  fdb->status = 0;
  if (!validate(fdb)) return 0;
  complete_identity(fdb);
  if (fdb->name.blank()) return fmi::fail(fdb, FM_ST_NOT_FOUND);
  const FmHandlers* fns = nullptr;
  if (!choose(fdb, &fns, fdb)) return 0;
  if (!fns->locate) return fmi::bad(fdb, "the back end cannot locate files");
  return fns->locate(fdb);
}

// Copies every record of source into a new target; 1 or 0 (status in target).
// Both files keep the places their SYSDIR entries give them, but neither
// needs an entry.
static int copy_file(FmFdb* target, FmFdb* source) {
  struct Lenient {
    Lenient() { ++S().lenient_sysdir; }
    ~Lenient() { --S().lenient_sysdir; }
  } lenient;
  FmFdb src = *source;
  if (!FM_OPEN(&src, com.depth, source->options, 1, 15)) {
    target->status = src.status;
    return 0;
  }
  FmArb* in = src.handle.get();
  FmFile* f = in->file.get();
  FmFdb dst = *target;
  dst.rec_len = f->fdb.rec_len;
  dst.var = f->fdb.var;
  dst.key_count = f->fdb.key_count;
  dst.kdb = f->kdb;
  dst.org = f->fdb.org;
  dst.fclass = target->fclass;
  int rc = FM_CREATE(&dst, com.depth, 0, target->options, 15, 15);
  if (!rc) {
    target->status = dst.status;
    FM_CLOSE(in, 0);
    return 0;
  }
  FmArb* out = dst.handle.get();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(fmi::pool(), FM_MAX_REC + 1));
  in->rec.set(buf);
  in->rec_len = 0;
  in->key_no = 0;
  in->op = FM_OP_FIRST;
  fm_start(in);
  in->op = 0;
  out->rec.set(buf);
  while (rc && fm_rdnxt(in)) {
    out->rec_len = in->len_read;
    out->op = 0;
    if (!fm_write(out)) {
      target->status = out->status;
      rc = 0;
    }
  }
  if (rc && in->status != FM_ST_EOF) {
    target->status = in->status;
    rc = 0;
  }
  mm_free(buf);
  FM_CLOSE(out, FM_CL_KEEP);
  FM_CLOSE(in, 0);
  return rc;
}

int fm_replace(FmFdb* target, FmFdb* source, int keep) {
  ensure_init();
  target->status = 0;
  if (keep) {
    if (!FM_SCRATCH(source, 0) && source->status != FM_ST_NOT_FOUND) {
      target->status = source->status;
      return 0;
    }
    return 1;
  }
  if (!validate(source)) {
    target->status = source->status;
    return 0;
  }
  if (!validate(target)) return 0;
  complete_identity(source);
  complete_identity(target);
  const FmHandlers *fs = nullptr, *ft = nullptr;
  if (!choose(source, &fs, target) || !choose(target, &ft, target)) return 0;
  // A target described without keys becomes what the source is, as an open
  // of it would find once it is there.
  if (ft != fs && target->fclass == source->fclass && target->key_count == 0 && target->org != FM_ORG_KEYED)
    ft = fs;
  // The target goes only when there is a source to take its place.
  FmFdb there = *source;
  if (!fm_locate(&there)) {
    target->status = there.status;
    return 0;
  }
  // A back end whose rename takes the target's place in one step (the
  // sequential files' rename(2)) leaves no moment without either file: try
  // it first, and scratch the target only when the back end refuses to
  // rename over an existing file.
  if (fs == ft && fs->rename) {
    if (fs->rename(source, target)) return 1;
    if (target->status != FM_ST_NO_RENAME && target->status != FM_ST_EXISTS) return 0;
  }
  if (!FM_SCRATCH(target, 0) && target->status != FM_ST_NOT_FOUND) return 0;
  target->status = 0;
  if (fs == ft && fs->rename) {
    if (fs->rename(source, target)) return 1;
    if (target->status != FM_ST_NO_RENAME) return 0;
  }
  target->status = 0;
  if (!copy_file(target, source)) return 0;
  if (!FM_SCRATCH(source, 0)) {
    target->status = source->status;
    return 0;
  }
  return 1;
}

int fm_nam(FmArb* a, FmName* out) {
  ensure_init();
  if (out) *out = FmName{nullptr, 0};
  if (!live(a)) return a && arena::contains(a) ? fmi::fail(a, FM_ST_NO_STREAM) : 0;
  const FmHandlers* fns = fm_handlers(a->file->fns);
  if (!fns || !fns->nam) return 0;
  return fns->nam(a, out);
}

const uint8_t* fm_path(FmArb* a) {
  if (!live(a)) return nullptr;
  return reinterpret_cast<const uint8_t*>(&a->file->fdb);
}

int fm_set_lang(FmArb* a, const char* from, const char* to) {
  if (!live(a)) return a && arena::contains(a) ? fmi::fail(a, FM_ST_NO_STREAM) : 0;
  a->lang_from.set(from ? std::string_view(from, strnlen(from, 3)) : "");
  a->lang_to.set(to ? std::string_view(to, strnlen(to, 3)) : "");
  return 1;
}

int fm_xlate_fld(const void*, const void*, const char* lang, char* text, size_t len, const char* app,
                 const char* ver, int, const char* table, int) {
  FmXlate x = S().xlate;
  if (!x || !text) return 1;
  return x(table, lang, text, len, app, ver);
}

// ============================================================ CHECK_FI ==
void fm_check_fi(int ok, FmFdb* fdb, const char* text, const char* file, int line) {
  if (ok) return;
  std::printf("CHECK_FI - %s\n", text ? text : "");
  if (fdb->app == "0AD")
    std::printf("%.3s %.2s %.8s\n", fdb->src_app.data(), fdb->src_ver.data(), fdb->name.data());
  else if (fdb->app == "0LA" || fdb->app == "0SA")
    std::printf("%.3s %.2s %.8s\n", fdb->app.data(), fdb->ver.data(), fdb->name.data());
  else
    std::printf("%.3s %.3s %.2s %.8s\n", fdb->db.data(), fdb->app.data(), fdb->ver.data(), fdb->name.data());
  std::fflush(stdout);
  // Module name as the system names its sources: upper-case base name, ".C".
  std::string m = file ? file : "FM";
  size_t slash = m.rfind('/');
  if (slash != std::string::npos) m = m.substr(slash + 1);
  if (m.size() > 4 && m.compare(m.size() - 4, 4, ".cpp") == 0) m = m.substr(0, m.size() - 2);
  for (char& c : m) c = char(std::toupper(static_cast<unsigned char>(c)));
  checkstat(fdb->status, text ? text : "", m.c_str(), line);
}

// =========================================================== fm_cache ==
uint8_t* fm_cache(FmFdb* file, int kind) {
  ensure_init();
  State& s = S();
  file->status = 0;
  if (kind != 1 && kind != 2) {
    fmi::bad(file, "fm_cache kind %d", kind);
    return nullptr;
  }
  // The file's dictionary: its application and version ("00" for the system applications).
  std::string app(file->app.view()), ver(file->ver.view());
  if (is_sys_app(file->app)) ver = "00";
  // Each record length its own image: a module whose reference says the
  // record is longer than another's (compiled against another dictionary,
  // or a saved module, which is untrusted) reads its length of bytes.
  std::string key = app + ver + std::string(file->name.view()) + char('0' + kind) + ':' +
                    std::to_string(uint32_t(file->rec_len));
  auto it = s.images.find(key);
  if (it != s.images.end()) {
    it->second.use++;
    return it->second.data;
  }
  MmPool pool = s.pool;
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb)));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * 4));
  FmFdb ini;
  INIT_DINIT_FDB(&ini, kdb, sdb, app.c_str(), ver.c_str());
  uint8_t* image = nullptr;
  if (!FM_OPEN(&ini, 0, FM_OPT_NO_SYSDIR, 1, 15)) {
    file->status = ini.status;
  } else {
    FmArb* a = ini.handle.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, 1013 + 1));
    auto* k = static_cast<uint8_t*>(MM_ALLOC(pool, 16));
    std::memcpy(k, file->name.data(), 8);
    k[8] = uint8_t(kind);
    a->rec.set(buf);
    a->rec_len = 1013;
    a->key_no = 0;
    a->key.set(k);
    a->key_len = 9;
    a->op = FM_OP_AT | FM_OP_KEY;
    size_t len = file->rec_len;
    image = static_cast<uint8_t*>(MM_ALLOC(pool, len ? len : 1));
    std::memset(image, ' ', len);
    size_t got = 0;
    bool any = false;
    if (fm_start(a)) {
      a->op = 0;
      while (fm_rdnxt(a)) {
        if (std::memcmp(buf, k, 9) != 0) break;
        size_t piece = a->len_read > 13 ? a->len_read - 13 : 0;
        uint32_t seq = rec::view<rec::U32>(buf + 9);
        size_t at = seq ? size_t(seq - 1) * 1000 : 0;
        if (at < len) std::memcpy(image + at, buf + 13, std::min(piece, len - at));
        got += piece;
        any = true;
      }
    }
    if (!any) {
      file->status = FM_ST_NO_INITIAL;
      mm_free(image);
      image = nullptr;
    } else {
      s.images[key] = State::Image{image, uint32_t(len), 1};
    }
    mm_free(k);
    mm_free(buf);
    FM_CLOSE(a, 0);
  }
  mm_free(sdb);
  mm_free(kdb);
  return image;
}

int fm_uncache(const uint8_t* image) {
  State& s = S();
  for (auto it = s.images.begin(); it != s.images.end(); ++it) {
    if (it->second.data == image) {
      if (--it->second.use == 0) {
        mm_free(it->second.data);
        s.images.erase(it);
      }
      return 1;
    }
  }
  return 0;
}

// ========================================================= fm_find_fis ==
int fm_find_fis(FmArb* list) {
  ensure_init();
  if (!live(list)) return list && arena::contains(list) ? fmi::fail(list, FM_ST_NO_STREAM) : 0;
  struct Ctx {
    FmArb* list;
    int rc;
    uint8_t* buf;
  } ctx{list, 1, static_cast<uint8_t*>(MM_ALLOC(fmi::pool(), sizeof(FmFdb)))};
  Ref<uint8_t> saved = list->rec;
  uint16_t saved_len = list->rec_len;
  fmi::mem_temp_files(com.proc_scope, [](const FmFdb& fdb, void* p) {
    auto* c = static_cast<Ctx*>(p);
    if (!c->rc) return;
    std::memcpy(c->buf, &fdb, sizeof fdb);
    c->list->rec.set(c->buf);
    c->list->rec_len = sizeof(FmFdb);
    c->list->op = 0;
    if (!fm_write(c->list) && c->list->status != FM_ST_DUP_KEY) c->rc = 0;
  }, &ctx);
  list->rec = saved;
  list->rec_len = saved_len;
  mm_free(ctx.buf);
  return ctx.rc;
}

// ===================================================== save and load ==
// The sequential image: one 8-byte head record "FMSV" + u32 record count,
// then the records in the file's order (key 0, or write order).
namespace {
struct SaveHead {
  rec::Text<4> tag;
  rec::U32 count;
};
QV_RECORD(SaveHead, 8);

int save_impl(FmArb* seq, FmArb* file, bool memory_only) {
  ensure_init();
  if (!live(seq)) return seq && arena::contains(seq) ? fmi::fail(seq, FM_ST_NO_STREAM) : 0;
  if (!live(file)) return fmi::fail(seq, FM_ST_NO_STREAM);
  if (memory_only && !fmi::is_mem(file)) return fmi::bad(seq, "mm_save_fi of a file that is not memory-resident");
  MmPool pool = fmi::pool();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, FM_MAX_REC + 1));
  auto* head = static_cast<SaveHead*>(MM_ALLOC(pool, sizeof(SaveHead)));
  Ref<uint8_t> srec = seq->rec, frec = file->rec;
  uint16_t slen = seq->rec_len, flen = file->rec_len;
  uint8_t fkey = file->key_no;
  int rc = 1;
  // Count, then write.
  uint32_t count = 0;
  for (int pass = 0; pass < 2 && rc; ++pass) {
    if (pass == 1) {
      head->tag.set("FMSV");
      head->count = count;
      seq->rec.set(reinterpret_cast<uint8_t*>(head));
      seq->rec_len = sizeof(SaveHead);
      seq->op = 0;
      if (!fm_write(seq)) {
        rc = 0;
        break;
      }
    }
    file->rec.set(buf);
    file->rec_len = FM_MAX_REC;
    file->key_no = 0;
    file->op = FM_OP_FIRST;
    if (!fm_start(file)) {
      seq->status = file->status;
      rc = 0;
      break;
    }
    file->op = 0;
    while (fm_rdnxt(file)) {
      if (pass == 0) {
        ++count;
        continue;
      }
      seq->rec.set(buf);
      seq->rec_len = file->len_read;
      seq->op = 0;
      if (!fm_write(seq)) {
        rc = 0;
        break;
      }
    }
    if (rc && file->status != FM_ST_EOF) {
      seq->status = file->status;
      rc = 0;
    }
  }
  seq->rec = srec;
  seq->rec_len = slen;
  file->rec = frec;
  file->rec_len = flen;
  file->key_no = fkey;
  mm_free(head);
  mm_free(buf);
  if (rc) seq->status = 0;
  return rc;
}

// The record buffer of the loads: taken once (a load calls no other load),
// so that loading many small files does not clear 32 KB for each.
uint8_t* load_buffer() {
  static uint8_t* buf = static_cast<uint8_t*>(arena::alloc_chunk(FM_MAX_REC + 1));
  return buf;
}

int load_impl(FmFdb* fdb, FmArb* seq, int scope) {
  ensure_init();
  if (!live(seq)) return fmi::fail(fdb, FM_ST_NO_STREAM);
  uint8_t* buf = load_buffer();
  Ref<uint8_t> srec = seq->rec;
  uint16_t slen = seq->rec_len;
  int rc = 0;
  seq->rec.set(buf);
  seq->rec_len = FM_MAX_REC;
  seq->op = 0;
  if (!fm_rdnxt(seq)) {
    fdb->status = seq->status;
  } else if (seq->len_read != sizeof(SaveHead) || !(rec::view<SaveHead>(buf).tag == "FMSV")) {
    fmi::bad(fdb, "fm_load_fi: no saved file image at this record");
  } else {
    uint32_t count = rec::view<SaveHead>(buf).count;
    if (open_file(fdb, scope, true)) {
      FmArb* out = fdb->handle.get();
      out->rec.set(buf);
      rc = 1;
      for (uint32_t i = 0; i < count; ++i) {
        if (!fm_rdnxt(seq)) {
          fdb->status = seq->status;
          rc = 0;
          break;
        }
        out->rec_len = seq->len_read;
        out->op = 0;
        if (!fm_write(out)) {
          fdb->status = out->status;
          rc = 0;
          break;
        }
      }
      out->rec.reset();
      out->rec_len = 0;
    }
  }
  seq->rec = srec;
  seq->rec_len = slen;
  return rc;
}
}  // namespace

int fm_save_fi(FmArb* seq, FmArb* file) { return save_impl(seq, file, false); }
int mm_save_fi(FmArb* seq, FmArb* file) { return save_impl(seq, file, true); }
int fm_load_fi(FmFdb* fdb, FmArb* seq, int scope) { return load_impl(fdb, seq, scope); }
int mm_load_fi(FmFdb* fdb, FmArb* seq, int scope) {
  if (fdb->fclass != FM_CLASS_MEMORY) return fmi::bad(fdb, "mm_load_fi of a file that is not memory-resident");
  return load_impl(fdb, seq, scope);
}

// Used by fmrec.cpp.
bool fm_live(const FmArb* a) { return live(a); }

// A handle's block is never given back (closed ones are reused): its own
// number names its entry, which is it while it is open.
// (Any address may be asked about: one the arena has no memory at is none.)
bool fm_is_handle(const void* p) {
  if (!p || !arena::contains(p) || arena::offset_of(p) + sizeof(FmArb) > arena::committed()) return false;
#if defined(__SANITIZE_ADDRESS__)
  // A handle's block is allocated, never poisoned; a freed block or a guard is.
  if (__asan_region_is_poisoned(const_cast<void*>(p), sizeof(FmArb))) return false;
#endif
  return live_block(static_cast<const FmArb*>(p));
}
FmArb* fm_new_stream(FmArb* parent, int scope) {
  FmFile* f = parent->file.get();
  FmArb* s = new_handle(f, parent->fns, norm_scope(scope), FM_HS_STREAM);
  if (s) s->parent.set(parent);
  return s;
}
void fm_drop_stream(FmArb* s) { drop_handle(s); }
