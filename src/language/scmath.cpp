// CALC compiled: the expression text parsed into a tree and built into
// stack code over the calculation variables of "0LA" (the decimal variable
// "A", the integer variable "AI") and numeric constants.
#include <cstring>

#include "language/ibmath.h"
#include "language/ibmisc.h"
#include "language/ibutil.h"
#include "language/sccalc.h"
#include "language/scfam.h"
#include "foundation/pd.h"
#include "process/pc.h"

namespace {

int calc_var(void* ctx, char letter, bool is_int, uint32_t* msg) {
  auto* sc = static_cast<ScCtx*>(ctx);
  char name[3] = {letter, is_int ? 'I' : '\0', '\0'};
  const CElem* e = sc_ref_0la_at(sc, name, 1);
  if (!e) {
    *msg = sc_msg(sc) ? sc_msg(sc) : kScCalcErr;
    return 0;
  }
  // The stack code reads a decimal variable as 8 packed bytes and a scale
  // byte, an integer one as a 32-bit word: any other field is refused here
  // rather than read as a number at run time.
  bool fits = is_int ? e->e.type == 5 && e->e.length == 4 : e->e.type == 12 && e->e.length == 9;
  if (!fits) {
    *msg = kScCalcErr;
    return 0;
  }
  return 1;
}

// A number: a constant of type 12 (8 packed bytes and a scale byte).
int calc_number(void* ctx, const char* text, int len, uint32_t* msg) {
  auto* sc = static_cast<ScCtx*>(ctx);
  uint32_t ref = 0;
  if (!sc_pd_cnst(sc, text, len, &ref) || !bld_cnst(sc_code(sc), ref, 1)) {
    *msg = kScCalcErr;
    return 0;
  }
  return 1;
}

}  // namespace

int cmpl_calc(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsCalc>(st->ops.b);
  char letter = char(ops.letter.v[0]), second = char(ops.letter.v[1]);
  bool is_letter = letter >= 'A' && letter <= 'Z' && (second == 'I' || second == ' ');
  if (!is_letter || ops.letter.flag != 1) {
    sc_err(sc, kScCalcErr);
    return 0;
  }
  CalcTree tree;
  uint32_t msg = parse_calc(ops.expr.data(), 59, &tree);
  if (msg) {
    sc_err(sc, msg);
    return 0;
  }
  promote_tree(&tree);
  CalcRefs refs{sc, calc_var, calc_number};
  if (!bld_calc(sc_code(sc), tree, ops.expr.data(), letter, second == 'I', refs, &msg)) {
    sc_err(sc, msg ? msg : kScCalcErr);
    return 0;
  }
  return 1;
}

int sc_pd_cnst(ScCtx* sc, const char* text, int len, uint32_t* ref) {
  uint8_t* v = sc_cnst_buf(sc);
  std::memset(v, 0, 9);
  PdCva cv{v, 8, 0};
  if (len <= 0 || !pd_cva(text, len, '.', &cv)) return 0;
  v[8] = uint8_t(cv.scale);
  *ref = sc_put_cnst(sc_pc(sc)->em, v, 9, 0);
  return 1;
}

// ------------------------------------------------------------- COMPUTE --
namespace {
IbNum num_of(const DElem& e) {
  IbNum n;
  n.type = e.type;
  n.len = uint8_t(e.length);
  n.scale = e.type == 12 ? 0 : e.decimals;  // a variable packed value carries its own
  n.digits = e.digits;
  n.is_signed = e.type != 5 || e.sign == '1';
  return n;
}
bool numeric(uint8_t type) { return type == 5 || type == 8 || type == 12; }
// COMPUTE's and TOTAL's operator: + - * / or the hash totals '1' and '2'
// (written 'P' and 'M' in the statement text); 0 for any other.
char math_op(uint8_t rel) {
  char op = char(rel);
  if (op == 'P') return '1';
  if (op == 'M') return '2';
  return std::strchr("+-*/12", op) && op ? op : 0;
}
}  // namespace

int cmpl_compute(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  auto fail = [&] { return sc_fail(sc, preset); };
  char op = math_op(uint8_t(ops.rel));
  if (!op) return fail();
  bool hash = op == '1' || op == '2';
  int kind = 0;
  const CElem* t = sc_ref(sc, ops.op1, nullptr, 1, &kind, kScRefTarget);
  if (!t || !numeric(t->e.type)) return fail();
  // A constant source is read in the target's form.
  const CElem* s = sc_ref(sc, ops.op2, &t->e, 2, &kind, 0);
  if (!s) return fail();
  // Only the hash totals take an alpha source (turned into a number first).
  if (!numeric(s->e.type) && !(hash && s->e.type == 1)) return fail();
  if (!bld_compute(sc_code(sc), num_of(t->e), num_of(s->e), op)) return fail();
  return 1;
}

// TOTAL: in Output, Update, Subroutine, Job and Inquiry processes the
// report total of the field (its accumulator at the current total level)
// is the target of COMPUTE's operation; elsewhere a no-operation.
int cmpl_total(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  auto fail = [&] { return sc_fail(sc, preset); };
  int t = st->proc_type;
  if (t != 3 && t != 4 && t != 6 && t != 7 && t != 9) return bld_nop(sc_code(sc)) ? 1 : fail();
  char op = math_op(uint8_t(ops.rel));
  if (!op) return fail();
  bool hash = op == '1' || op == '2';
  CElem f, s;
  std::memset(static_cast<void*>(&f), 0, sizeof f);
  std::memset(static_cast<void*>(&s), 0, sizeof s);
  if (!sc_cmpl_sum(sc, ops.op1, &f, 1, 1)) return fail();
  if (!numeric(f.e.type)) return fail();
  IbNum target = num_of(f.e);
  target.type = 12;
  target.len = 9;
  target.scale = 0;
  int kind = 0;
  if (ut_is_all(ops.op2.app.data(), ' ', 3)) s.e = f.e;
  if (!sc_cmpl_ref(sc, ops.op2, &s, 2, &kind, 0)) return fail();
  if (!numeric(s.e.type) && !(hash && s.e.type == 1)) return fail();
  if (!bld_compute(sc_code(sc), target, num_of(s.e), op)) return fail();
  return 1;
}
