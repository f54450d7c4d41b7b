// Process manager: process definitions. See pb.h.
#include "process/pb.h"

#include <cstring>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"

int pb_get_dproc(const char* app, const char* name, const char* ver, int type, DProc* out, int flags) {
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  struct PoolGone {
    MmPool p;
    ~PoolGone() { mm_destroy_pool(p); }
  } gone{pool};
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  auto* rec = static_cast<DProc*>(MM_ALLOC(pool, sizeof(DProc)));
  FmFdb fdb;
  INIT_DPROC_FDB(&fdb, kdb, sdb, app, ver);
  if (flags & kPbMemory) fdb.fclass = FM_CLASS_MEMORY;
  if (!FM_OPEN(&fdb, com.depth, FM_OPT_NO_SYSDIR, 1, 15)) return 0;
  FmArb* a = fdb.handle.get();
  std::memset(static_cast<void*>(rec), ' ', sizeof *rec);
  rec->proc_type = uint8_t(type);
  rec->proc_name.set(std::string_view(name, std::strlen(name) < 30 ? std::strlen(name) : 30));
  PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(rec));
  int found = fm_read(a);
  if (found && out) *out = *rec;
  (void)FM_CLOSE(a, 0);
  return found;
}
