// The instruction interpreter: see ii.h.
#include "language/ii.h"

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"

FmArb* ii_open_delem_fi(const char* app, const char* ver) {
  // The key areas live only for the open: the file manager copies them.
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  FmFdb fdb;
  INIT_DELEM_FDB(&fdb, kdb, sdb, app, ver);
  int ok = FM_OPEN(&fdb, com.depth, FM_OPT_NO_SYSDIR, 1, 15);
  mm_destroy_pool(pool);
  return ok ? fdb.handle.get() : nullptr;
}
