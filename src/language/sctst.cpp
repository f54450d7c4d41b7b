// IF, AND and OR compiled: both operands into registers 1 and 2, then the
// comparison for their types.
#include <cstring>

#include "language/ibtst.h"
#include "language/scfam.h"
#include "process/pc.h"

namespace {

IbTstOp tst_op(const CElem& c) {
  IbTstOp o;
  const DElem& e = c.e;
  o.type = e.type;
  o.len = e.length;
  o.scale = e.type == 12 ? 0 : e.decimals;
  o.is_signed = e.sign == '1';
  o.justified = e.type == 1 && (e.justify == 2 || e.justify == 3 || e.justify == 4);
  o.date_mask = e.mask.data();
  return o;
}

}  // namespace

int cmpl_if_and_or(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  int kind = 0;
  // A field not found compiles to an ABORT that fails when it runs.
  const CElem* a = sc_ref(sc, ops.op1, nullptr, 1, &kind, kScRefKeepType);
  if (!a) {
    if (sc_msg(sc) == kPcNoApp) return 1;
    sc_err(sc, sc_msg(sc) ? sc_msg(sc) : preset);
    return 0;
  }
  // A constant compared with a field takes the field's type.
  const CElem* b = sc_ref(sc, ops.op2, &a->e, 2, &kind, 0);
  if (!b) {
    if (sc_msg(sc) == kPcNoApp) return 1;
    sc_err(sc, sc_msg(sc) ? sc_msg(sc) : preset);
    return 0;
  }
  uint8_t rel = ops.rel;
  if (rel < 1 || rel > 8) {
    sc_err(sc, preset);
    return 0;
  }
  // IN and EX store the position found into "TEXT AT POSITION".
  if (rel == 7 || rel == 8) {
    CElem pos;
    std::memset(static_cast<void*>(&pos), 0, sizeof pos);
    if (!sc_ref_0la(sc, "TEXT AT POSITION", &pos, 3)) {
      sc_err(sc, sc_msg(sc) ? sc_msg(sc) : preset);
      return 0;
    }
  }
  uint32_t msg = 0;
  if (!bld_if_and_or(sc_code(sc), tst_op(*a), tst_op(*b), rel, st->verb, sc_shift(sc), &msg)) {
    sc_err(sc, msg ? msg : preset);
    return 0;
  }
  return 1;
}
