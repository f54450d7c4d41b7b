// The file manager's services to the foundation, reached through its hooks:
// the message catalogue (lafi.cpp), the TOKEN files of the conversion layer,
// the path of a described file and the records of memory-resident files.
// See fm_serve_foundation in fm.h.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "files/fm.h"
#include "files/fmcat.h"
#include "files/lafi.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/la.h"
#include "foundation/macros.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"

namespace {

// ---------------------------------------------------------- TOKEN files --

// The TOKEN file held open for the conversion layer's next list.
struct TokenFile {
  FmArb* file = nullptr;
  std::string app, ver;
  MmPool pool = 0;
} g_tok;

MmPool token_pool() {
  if (!g_tok.pool) g_tok.pool = mm_create_pool(" TK_POOL   ", com.base_scope, 0);
  return g_tok.pool;
}

void token_close() {
  if (g_tok.file && fm_is_handle(g_tok.file)) FM_CLOSE(g_tok.file, 0);
  g_tok.file = nullptr;
  g_tok.app.assign(3, ' ');
  g_tok.ver.assign(2, ' ');
}

// Opens the TOKEN file of an application and version: the dictionary's,
// else a memory-resident copy of that identity (the restructure's copies).
FmArb* token_open(const std::string& app, const std::string& ver) {
  if (g_tok.file && !fm_is_handle(g_tok.file)) g_tok.file = nullptr;  // closed under us
  if (g_tok.file && g_tok.app == app && g_tok.ver == ver) return g_tok.file;
  token_close();
  MmPool pool = token_pool();
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  FmFdb fdb;
  INIT_DTOKEN_FDB(&fdb, kdb, sdb, app.c_str(), ver.c_str());
  std::string saved = la_cur_sys_err();
  int ok = FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR, 1, 15);
  if (!ok) {
    uint32_t status = fdb.status;
    INIT_DTOKEN_FDB(&fdb, kdb, sdb, app.c_str(), ver.c_str());
    fdb.fclass = FM_CLASS_MEMORY;
    ok = FM_OPEN(&fdb, com.base_scope, 0, 1, 15);
    if (!ok) fdb.status = status;
  }
  mm_free(kdb);
  mm_free(sdb);
  if (!ok) {
    // A failed file operation: its status's text goes with the report;
    // afterwards the caller's system-error text is back.
    struct Restore {
      std::string text;
      ~Restore() { la_sys_err(text.c_str(), 0); }
    } restore{saved};
    checkstat(fdb.status, "cv_load_token() - Bad TOKEN file open ", "CV", __LINE__);
    return nullptr;
  }
  g_tok.file = fdb.handle.get();
  g_tok.app = app;
  g_tok.ver = ver;
  return g_tok.file;
}

bool token_read_group(const std::string& app, const std::string& ver, const std::string& group,
                      std::vector<CvTokenRec>* out) {
  FmArb* f = token_open(app, ver);
  if (!f) return false;
  MmPool pool = token_pool();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, sizeof(CvTokenRec)));
  auto* key = static_cast<uint8_t*>(MM_ALLOC(pool, sizeof(CvTokenRec)));
  // The group's records: key 0 begins with the class (0) and the group.
  constexpr size_t kGroupKey = offsetof(CvTokenRec, pad);
  CvTokenRec& k = rec::view<CvTokenRec>(key);
  k.cls = 0;
  k.group.set(group);
  PROTO_FULL(f, 0, buf);
  f->key.set(key);
  f->key_len = uint16_t(kGroupKey);
  f->op = uint16_t(FM_OP_AT | FM_OP_KEY);
  if (fm_start(f)) {
    f->op = 0;
    while (fm_rdnxt(f)) {
      if (std::memcmp(buf, key, kGroupKey) != 0) break;
      CvTokenRec r;
      std::memcpy(&r, buf, sizeof r);
      out->push_back(r);
    }
  }
  mm_free(buf);
  mm_free(key);
  return true;
}

const CvTokenFiles kTokenFiles = {token_read_group, token_close};

// ------------------------------------------------- memory-file records --

uint8_t* record_of(FmArb* file, uint32_t rid, uint32_t* len) {
  uint8_t* r = MADDR(file, rid);
  *len = r ? file->len_read : 0;
  return r;
}

}  // namespace

void fm_serve_foundation() {
  la_set_files(&la_files);
  cv_set_token_files(&kTokenFiles);
  ss_set_os_path(fm_os_path);
  macros_set_record(record_of);
}
