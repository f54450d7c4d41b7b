// The query engine: the query files of a query scope, and a query's
// selection read from them. See pbutil.h.
#include <cstdio>
#include <cstring>

#include "files/fmcat.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "process/pbutil.h"

namespace {

constexpr const char* kMod = "PBUTIL.C";
constexpr uint32_t kFault = 200650;

void fault(uint32_t status, const char* text, int line) { checkstat(status ? status : kFault, text, kMod, line); }

// Closes a stream and the handle it was attached to.
void close_qfi(FmArb* s) {
  if (!s) return;
  FmArb* base = s->parent.get();
  (void)FM_CLOSE(s, 0);
  if (base && base != s) (void)FM_CLOSE(base, 0);
}

}  // namespace

FmArb* pb_open_qfi(int scope, const char* name, const char* app, const char* query) {
  MmPool pool = mm_create_pool(nullptr, scope, 0);
  struct Gone {
    MmPool p;
    ~Gone() { mm_destroy_pool(p); }
  } gone{pool};
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  FmFdb fdb;
  bool create = false, tag = false;
  if (!std::strcmp(name, "QPARM")) {
    INIT_QPARM_FDB(&fdb, kdb, sdb, scope);
  } else if (!std::strcmp(name, "QSLCT")) {
    INIT_QSLCT_FDB(&fdb, kdb, sdb, scope);
    create = true;
  } else if (!std::strcmp(name, "QSORT")) {
    INIT_QSORT_FDB(&fdb, kdb, sdb, scope);
    create = true;
  } else if (!std::strcmp(name, "QTAG")) {
    INIT_QTAG_FDB(&fdb, kdb, sdb, scope);
    tag = true;
  } else {
    char t[64];
    std::snprintf(t, sizeof t, "bad QFI name: %.8s", name);
    fault(kFault, t, __LINE__);
    return nullptr;
  }
  if (!FM_OPEN(&fdb, scope, create ? FM_OPT_CREATE : 0, 15, 15)) {
    if (tag) return nullptr;
    char t[64];
    std::snprintf(t, sizeof t, "can't open %s file", name);
    fault(fdb.status, t, __LINE__);
    return nullptr;
  }
  FmArb* h = fdb.handle.get();
  if (tag) return h;
  // The query's own records: a range of equal bounds on the first 33 key
  // bytes.
  auto* key = static_cast<uint8_t*>(MM_ALLOC(pool, 33));
  std::memset(key, ' ', 33);
  std::memcpy(key, app, std::min<size_t>(3, std::strlen(app)));
  std::memcpy(key + 3, query, std::min<size_t>(30, std::strlen(query)));
  auto* r = static_cast<FmScbRange*>(MM_ALLOC(pool, sizeof(FmScbRange)));
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->head.type = FM_SCB_RANGE;
  r->key_no = 0;
  r->lo_len = r->hi_len = 33;
  r->lo_key.set(key);
  r->hi_key.set(key);
  FmArb* s = FM_ATTACH(h, &r->head, scope);
  if (!s) {
    fault(h->status, "can't constrain QFI", __LINE__);
    (void)FM_CLOSE(h, 0);
    return nullptr;
  }
  return s;
}

int pb_load_slct(int scope, const char* app, const char* query, std::vector<PbQslct>* lines, PbTree* tree,
                 uint32_t* status, size_t* pos) {
  lines->clear();
  FmArb* parm = pb_open_qfi(scope, "QPARM", app, query);
  if (!parm) {
    *status = kFault;
    return 0;
  }
  MmPool pool = mm_create_pool(nullptr, scope, 0);
  struct Gone {
    MmPool p;
    FmArb* a;
    FmArb* b = nullptr;
    ~Gone() {
      close_qfi(b);
      close_qfi(a);
      mm_destroy_pool(p);
    }
  } gone{pool, parm};
  auto* pr = static_cast<uint8_t*>(MM_ALLOC(pool, 1644));
  PROTO_FULL(parm, 0, pr);
  parm->op = FM_OP_FIRST;
  int ok = fm_start(parm);
  parm->op = 0;
  if (!ok) {
    fault(parm->status, "can't start qparm file", __LINE__);
    *status = kFault;
    return 0;
  }
  if (!fm_rdnxt(parm)) {
    fault(parm->status, "can't read qparm", __LINE__);
    *status = kFault;
    return 0;
  }
  FmArb* sl = pb_open_qfi(scope, "QSLCT", app, query);
  gone.b = sl;
  if (!sl) {
    *status = kFault;
    return 0;
  }
  auto* lr = static_cast<uint8_t*>(MM_ALLOC(pool, sizeof(PbQslct)));
  PROTO_FULL(sl, 0, lr);
  sl->op = FM_OP_FIRST;
  fm_start(sl);
  sl->op = 0;
  while (fm_rdnxt(sl)) lines->push_back(rec::view<PbQslct>(lr));
  if (sl->status != 200360) {
    fault(sl->status, "qslct attach", __LINE__);
    *status = kFault;
    return 0;
  }
  if (!pb_bld_slct(reinterpret_cast<const char*>(pr + 41), reinterpret_cast<const char*>(pr + 841), 800, lines,
                   tree, status, pos))
    return 0;
  // The marks go back into the stored lines.
  sl->op = FM_OP_FIRST;
  fm_start(sl);
  for (const PbQslct& l : *lines) {
    sl->op = FM_OP_HOLD;
    if (!fm_rdnxt(sl)) break;
    PbQslct& st = rec::view<PbQslct>(lr);
    if (st.kind != l.kind || st.line.get() != l.line.get() || st.mentioned == l.mentioned) {
      fm_release(sl);
      continue;
    }
    st.mentioned = l.mentioned;
    sl->op = 0;
    if (!fm_rewrite(sl)) {
      fault(sl->status, "qslct rewrite", __LINE__);
      *status = kFault;
      return 0;
    }
  }
  sl->op = 0;
  return 1;
}
