// A query's criteria as the Query executor leaves them in the query files
// of its scope, for runs that need an Output process's range levels before
// that executor exists: the QPARM record (no selection text) and one sort
// line a field, each ascending and asking for a subtotal.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/mm.h"
#include "process/pb.h"
#include "process/pbutil.h"

namespace qsort_fx {

struct Criteria {
  std::string app;                  // the query's application and the fields'
  std::string name;                 // the query
  std::vector<std::string> fields;  // sort fields, outermost first
  bool grand = false;               // a grand-total line (no field) first
  bool subheadings = false;         // each field's range asks for a subheading
};

inline bool write(int scope, const Criteria& c) {
  MmPool pool = mm_create_pool(nullptr, scope, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * 17));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * 64));
  FmFdb f;
  INIT_QPARM_FDB(&f, kdb, sdb, scope);
  if (!FM_OPEN(&f, scope, 0, 15, 15) && !FM_CREATE(&f, scope, 0, 0, 15, 15)) return false;
  FmArb* parm = f.handle.get();
  auto* r = static_cast<uint8_t*>(MM_ALLOC(pool, 1644));
  std::memset(r, ' ', 1644);
  std::string key = c.app + c.name;
  std::memcpy(r, key.data(), key.size());
  PROTO_FULL(parm, 0, r);
  parm->op = 0;
  bool ok = fm_write(parm);
  FM_CLOSE(parm, 0);
  FmArb* s = ok ? pb_open_qfi(scope, "QSORT", c.app.c_str(), c.name.c_str()) : nullptr;
  if (!s) return false;
  FmArb* base = s->parent.get();
  std::vector<std::string> lines = c.fields;
  if (c.grand) lines.insert(lines.begin(), "");
  uint32_t seq = c.grand ? 0 : 1;
  for (const std::string& field : lines) {
    auto* q = static_cast<PbQsort*>(MM_ALLOC(pool, sizeof(PbQsort)));
    std::memset(static_cast<void*>(q), ' ', sizeof *q);
    q->app.set(c.app.c_str());
    q->name.set(c.name.c_str());
    q->seq = seq++;
    q->occ = field.empty() ? 0 : 1;
    q->order[0] = '+';
    for (auto& f70 : q->flags70) f70[0] = '0';
    if (!field.empty()) {
      q->f_app.set(c.app.c_str());
      q->field.set(field.c_str());
      if (c.subheadings) q->flags70[1][0] = '1';
    }
    q->flags70[3][0] = '1';  // subtotal
    q->z75.set("000");
    q->z84.set("000");
    for (auto& f78 : q->flags78) f78[0] = '0';
    q->sorted[0] = '1';
    q->b88[0] = '0';
    PROTO_FULL(base, 0, reinterpret_cast<uint8_t*>(q));
    base->op = 0;
    ok = ok && fm_write(base);
  }
  FM_CLOSE(s, 0);
  FM_CLOSE(base, 0);
  mm_destroy_pool(pool);
  return ok;
}

}  // namespace qsort_fx
