// Process properties (ATRIBUTE files) and the default languages: see piexec.h.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pishr.h"

namespace {

constexpr const char* kMod = "PIEXEC.C";

// A record of the property cache "PI"/"PR".
struct PropCacheRec {
  rec::Text<3> app;
  rec::Text<2> ver;
  rec::Text<3> db;
  rec::U32 scope;
  Ref<FmArb> handle;
};
QV_RECORD(PropCacheRec, 16);
QV_AT(PropCacheRec, scope, 8);

struct Work {
  PropCacheRec key;
  DAtribute rec;
  FmKdb kdb[FM_CAT_KDB_AREA];
  FmSdb sdb[FM_CAT_SDB_AREA];
};
Work* work() {
  static Work* w = static_cast<Work*>(arena::alloc_chunk(sizeof(Work)));
  return w;
}

FmArb* g_cache = nullptr;

// The language caches: the user's and the system's once, the database's and
// the database-and-application's while they stay the same.
struct Langs {
  bool user_sys = false;
  char user[3], sys[3];
  bool db_known = false;
  char db_id[3], db[3];
  bool dbxap_known = false;
  char dbxap_id[6], dbxap[3];
} g_lang;

bool live(FmArb* a) { return a && fm_is_handle(a); }

// Fills the work record's key.
void set_key(const char* kind, const char* name, size_t len, const char* prop) {
  DAtribute* r = &work()->rec;
  std::memset(static_cast<void*>(r), ' ', sizeof *r);
  r->kind.set(std::string_view(kind, strnlen(kind, 8)));
  std::memcpy(r->object.data(), name, len < 128 ? len : 128);
  r->prop.set(std::string_view(prop, strnlen(prop, 14)));
}

void sa_lang(const char* kind, const char* name, size_t len, char out[3]) {
  char v[3];
  if (pi_get_sa_prop(kind, name, len, "DEF LANG ID", v, 3)) std::memcpy(out, v, 3);
  else std::memset(out, ' ', 3);
}

bool lang_set(const char* l) { return l[0] != ' ' && l[0] != '0' && l[0] != '\0'; }

}  // namespace

void pi_prop_reset() {
  if (live(g_cache)) {
    // The cached ATRIBUTE files are closed with the cache.
    FmArb* c = g_cache;
    PropCacheRec* k = &work()->key;
    PROTO_FULL(c, 0, reinterpret_cast<uint8_t*>(k));
    c->op = FM_OP_FIRST;
    fm_start(c);
    c->op = 0;
    std::vector<FmArb*> open;
    while (fm_rdnxt(c) == 1) open.push_back(k->handle.get());
    for (FmArb* h : open)
      if (live(h)) FM_CLOSE(h, 0);
    FM_CLOSE(c, 0);
  }
  g_cache = nullptr;
  g_lang = Langs{};
  Work* w = work();
  FmFdb fdb;
  INIT_PROP_CACHE_FDB(&fdb, w->kdb, w->sdb);
  if (!FM_CREATE(&fdb, com.base_scope, 0, 0, 15, 15)) {
    checkstat(fdb.status, "Can't create properties cache", kMod, __LINE__);
    return;
  }
  g_cache = fdb.handle.get();
}

FmArb* pi_get_prop_arb(const char* app, const char* ver, const char* db, int scope) {
  if (!live(g_cache)) return nullptr;
  Work* w = work();
  PropCacheRec* k = &w->key;
  std::memset(static_cast<void*>(k), 0, sizeof *k);
  std::memcpy(k->app.data(), app, 3);
  std::memcpy(k->ver.data(), ver, 2);
  if (db) std::memcpy(k->db.data(), db, 3);
  else k->db.clear();
  PROTO_FULL(g_cache, 0, reinterpret_cast<uint8_t*>(k));
  if (fm_read(g_cache) == 1 && live(k->handle.get())) return k->handle.get();
  FmFdb fdb;
  INIT_DPROP_FDB(&fdb, w->kdb, w->sdb);
  fdb.app = k->app;
  fdb.ver = k->ver;
  // "0SA" keeps its own file; an application's file has no database.
  if (k->app == "0SA") fdb.db.clear();
  else fdb.db = k->db;
  fdb.path_type = FM_PT_DATA;
  if (!FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR, 15, 15)) return nullptr;
  std::memset(static_cast<void*>(k), 0, sizeof *k);
  std::memcpy(k->app.data(), app, 3);
  std::memcpy(k->ver.data(), ver, 2);
  if (db) std::memcpy(k->db.data(), db, 3);
  else k->db.clear();
  k->scope = uint32_t(scope);
  k->handle.set(fdb.handle.get());
  PROTO_FULL(g_cache, 0, reinterpret_cast<uint8_t*>(k));
  fm_write(g_cache);
  return fdb.handle.get();
}

int pi_get_prop(FmArb* h, const char* kind, const char* name, size_t len, const char* prop, char value[256]) {
  std::memset(value, ' ', 256);
  if (!live(h)) return 0;
  set_key(kind, name, len, prop);
  DAtribute* r = &work()->rec;
  PROTO_FULL(h, 0, reinterpret_cast<uint8_t*>(r));
  if (fm_read(h) != 1) return 0;
  std::memcpy(value, r->value.data(), 256);
  return 1;
}

int pi_del_prop(FmArb* h, const char* kind, const char* name, size_t len, const char* prop) {
  if (!live(h)) return 0;
  set_key(kind, name, len, prop);
  PROTO_FULL(h, 0, reinterpret_cast<uint8_t*>(&work()->rec));
  h->op = FM_OP_HOLD;
  int ok = fm_read(h);
  h->op = 0;
  if (!ok) return h->status == FM_ST_NO_RECORD ? 1 : 0;
  return fm_del(h);
}

int pi_put_prop(FmArb* h, const char* kind, const char* name, size_t len, const char* prop, const char* value) {
  if (!live(h)) return 0;
  if (ut_is_all(value, ' ', 256)) return pi_del_prop(h, kind, name, len, prop);
  set_key(kind, name, len, prop);
  DAtribute* r = &work()->rec;
  PROTO_FULL(h, 0, reinterpret_cast<uint8_t*>(r));
  h->op = FM_OP_HOLD;
  int found = fm_read(h);
  h->op = 0;
  set_key(kind, name, len, prop);
  std::memcpy(r->value.data(), value, 256);
  return found ? fm_rewrite(h) : fm_write(h);
}

int pi_move_prop(FmArb* h, const char* kind, const char* new_name, size_t len, const char* prop,
                 const char* old_name, char* failed) {
  if (!live(h)) return 0;
  if (std::memcmp(new_name, old_name, len < 128 ? len : 128) == 0) return 1;  // the name it has
  // The records of the old name, from the property on.
  std::vector<std::string> props;
  set_key(kind, old_name, len, prop);
  DAtribute* r = &work()->rec;
  DAtribute from = *r;
  PROTO_FULL(h, 0, reinterpret_cast<uint8_t*>(r));
  h->key.set(reinterpret_cast<uint8_t*>(r));
  h->key_len = 150;
  h->op = FM_OP_AT | FM_OP_KEY;
  fm_start(h);
  h->op = 0;
  while (fm_rdnxt(h) == 1) {
    if (std::memcmp(r, &from, 136) != 0) break;
    props.push_back(r->prop.str());
  }
  // Each value is written under the new name before the old record goes, so
  // a failed write leaves it under the old name.
  for (const std::string& p : props) {
    char value[256];
    if (!pi_get_prop(h, kind, old_name, len, p.c_str(), value) ||
        !pi_put_prop(h, kind, new_name, len, p.c_str(), value) || !pi_del_prop(h, kind, old_name, len, p.c_str())) {
      if (failed) {
        std::memset(failed, ' ', 14);
        std::memcpy(failed, p.data(), p.size() < 14 ? p.size() : 14);
      }
      return 0;
    }
  }
  return 1;
}

int pi_get_sa_prop(const char* kind, const char* name, size_t len, const char* prop, char* out, size_t out_len) {
  FmArb* h = pi_get_prop_arb("0SA", "00", "   ", com.base_scope);
  char value[256];
  int found = pi_get_prop(h, kind, name, len, prop, value);
  std::memcpy(out, value, out_len < 256 ? out_len : 256);
  return found;
}

void dflt_lang(Pcb* key, Pcb* parent, const char* db) {
  Langs& c = g_lang;
  if (!c.user_sys) {
    sa_lang("USER    ", com.user_id.data(), 3, c.user);
    sa_lang("SYSPARM ", "", 0, c.sys);
    c.user_sys = true;
  }
  bool has_db = db && std::memcmp(db, "   ", 3) != 0;
  if (has_db && (!c.db_known || std::memcmp(c.db_id, db, 3) != 0)) {
    std::memcpy(c.db_id, db, 3);
    sa_lang("DATABASE", db, 3, c.db);
    c.db_known = true;
  }
  char pair[6];
  if (has_db) {
    std::memcpy(pair, db, 3);
    std::memcpy(pair + 3, key->invoc.app.data(), 3);
    if (!c.dbxap_known || std::memcmp(c.dbxap_id, pair, 6) != 0) {
      std::memcpy(c.dbxap_id, pair, 6);
      sa_lang("DBXAP   ", pair, 6, c.dbxap);
      c.dbxap_known = true;
    }
  }
  char lang[3] = {' ', ' ', ' '};
  auto* st = parent ? pi_area_rec<PdStatus>(parent, 7) : nullptr;
  if (st && !st->next_lang.blank()) {
    std::memcpy(lang, st->next_lang.data(), 3);
    st->next_lang.clear();
  } else if (lang_set(c.user)) {
    std::memcpy(lang, c.user, 3);
  } else if (!has_db) {
    if (lang_set(c.sys)) std::memcpy(lang, c.sys, 3);
  } else if (std::memcmp(c.dbxap, "   ", 3) != 0) {
    std::memcpy(lang, c.dbxap, 3);
  } else if (std::memcmp(c.db, "   ", 3) != 0) {
    std::memcpy(lang, c.db, 3);
  } else if (lang_set(c.sys)) {
    std::memcpy(lang, c.sys, 3);
  }
  std::memcpy(key->lang.data(), lang, 3);
  std::memcpy(com.language.data(), lang, 3);
}
