// CALC and COMPUTE builders: see ibmath.h.
#include "language/ibmath.h"

#include "language/ibutil.h"

uint8_t* bld_calc_reset(IbCode* code) { return ib_put(code, 700); }

uint8_t* bld_calc_load(IbCode* code, uint8_t type) {
  uint8_t* p = ib_put(code, 702);
  if (p) rec::view<IbMath>(p).arg = type;
  return p;
}

uint8_t* bld_calc_eval(IbCode* code, char op) {
  uint16_t opcode;
  uint8_t arg = 0;
  switch (op) {
    case '+': opcode = 704; arg = 1; break;
    case '-': opcode = 704; arg = 2; break;
    case '*': opcode = 704; arg = 3; break;
    case '/': opcode = 704; arg = 4; break;
    case '~': opcode = 706; break;
    case '$': opcode = 714; arg = 1; break;
    case '=': opcode = 708; break;
    default: return ib_err(__LINE__, "bld_calc_eval() - bad operator");
  }
  uint8_t* p = ib_put(code, opcode);
  if (p) rec::view<IbMath>(p).arg = arg;
  return p;
}

uint8_t* bld_calc_fn(IbCode* code, uint8_t fn) {
  if (fn < kFnAcos || fn > kFnAtan2) return ib_err(__LINE__, "bld_calc_fn() - bad function");
  uint8_t* p = ib_put(code, 712);
  if (p) rec::view<IbMath>(p).arg = fn;
  return p;
}

namespace {
uint8_t* oprnd(IbCode* code, const IbNum& n, uint8_t which) {
  uint8_t* p = ib_put(code, 710);
  if (!p) return nullptr;
  auto& in = rec::view<IbComputeOprnd>(p);
  bool alpha = n.type == 1;  // converted by CNV_SRC into a 16-byte packed integer
  in.is_signed = alpha ? 0 : n.is_signed;
  in.type = alpha ? 8 : n.type;
  in.len = alpha ? 16 : n.len;
  in.which = which;
  in.scale = alpha ? 0 : n.scale;
  return p;
}
uint8_t* math(IbCode* code, uint16_t op, uint8_t arg, uint8_t scale) {
  uint8_t* p = ib_put(code, op);
  if (!p) return nullptr;
  rec::view<IbMath>(p).arg = arg;
  rec::view<IbMath>(p).scale = scale;
  return p;
}
}  // namespace

uint8_t* bld_compute(IbCode* code, const IbNum& t, const IbNum& s, char op) {
  bool hash = op == '1' || op == '2';
  bool tb = t.type == 5, sb = s.type == 5;
  if (op != '+' && op != '-' && op != '*' && op != '/' && !hash) return nullptr;
  if (hash && (tb || (op == '2' && sb))) return nullptr;
  if (hash && s.type == 1) {
    uint8_t* c = ib_put(code, 738);
    if (!c) return nullptr;
    rec::view<IbMath>(c).arg = s.len;
  }
  if (!oprnd(code, t, 1) || !oprnd(code, s, 2)) return nullptr;
  if (tb != sb && !math(code, 714, tb ? 0 : 1, 0)) return nullptr;
  // Byte 4 of the packed operations and stores: 1 when both are 8 bytes
  // long (not read); the hash totals read it as their digit count.
  uint8_t b4 = (!tb && t.len == 8 && s.len == 8) ? 1 : 0;
  uint8_t opn = op == '+' ? 1 : op == '-' ? 2 : op == '*' ? 3 : 4;
  uint8_t* p;
  if (op == '1') p = math(code, 724, uint8_t(t.digits + t.scale), t.scale);
  else if (op == '2') p = math(code, 726, uint8_t(t.digits + t.scale), t.scale);
  else if (tb && sb) p = math(code, 720, opn, t.scale);
  else p = math(code, uint16_t(726 + 2 * opn), b4, t.scale);
  if (!p) return nullptr;
  if (!tb) return math(code, 736, b4, t.scale);
  return math(code, sb ? 722 : 740, 0, t.scale);
}
