// CALC and COMPUTE/TOTAL at run time: the calculation stack and the
// arithmetic instructions (ibmath.h gives the layouts).
//
// Values are 31-digit packed numbers with a scale of 0-31 (binary ones a
// 32-bit word until converted). Every failure is run-time error 300540 with
// the target unchanged:
//   1. add and subtract align the scales and must fit 31 digits;
//   2. a multiply first drops low decimals of its operands, truncating, until
//      the digits fit 31 (common_pd_mul), or with QUVO_OLD_PD_MUL the older
//      scaling; neither operand may lose more decimals than it has;
//   3. a divide and the functions go through double: a result of magnitude
//      1e17 or more, NaN or infinite, or outside the function's domain, fails;
//      the result is rounded to 15 decimals (fewer when 31 digits would not
//      hold them) and then to 15 significant digits;
//   4. a store rounds to the target's scale and must fit the target; the
//      CALC store into a calculation variable keeps the 15 highest digits,
//      rounding, its scale going below 0 when integer digits go (a variable
//      with a negative scale reads as those digits followed by zeros); the
//      COMPUTE store into a variable packed target keeps at most 15 digits by
//      dropping decimals only; a binary target must hold the value by its
//      size and signedness (QUVO_NO_NEG_INT: no negative value in a signed 1-
//      or 2-byte field).
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "foundation/pd.h"
#include "language/ibmath.h"
#include "language/iifld.h"
#include "language/iiutil.h"

namespace {

bool g_old_mul = false;
bool g_no_neg_int = false;

using Fail = uint8_t*;
constexpr int kW = 16;  // work value length

uint8_t* val(IiCalc& e) { return e.value.data(); }
int32_t word(IiCalc& e) { return int32_t(rec::view<rec::U32>(val(e)).get()); }
void set_word(IiCalc& e, uint32_t v) {
  std::memset(val(e), 0, kW);
  rec::view<rec::U32>(val(e)) = v;
}
// An invalid packed value: every operation on it fails.
void set_invalid(IiCalc& e) { std::memset(val(e), 0, kW); }

int digits(const uint8_t* v) {
  int n = 0;
  return SIG_DIGITS(v, kW, &n) < 0 ? -1 : n;
}

// Whether a 16-byte value's first 8 bytes are zero (at most 15 digits, in
// its last 8 bytes, which are then an 8-byte packed value).
bool short8(const uint8_t* v) {
  uint64_t hi;
  std::memcpy(&hi, v, 8);
  return hi == 0;
}

// The common case of 8-byte operands on the 8-byte kernels: a := a op b
// for add (1), subtract (2), multiply (3); false when one is longer or the
// result needs more than 15 digits (the 16-byte path then decides).
bool short_op(uint8_t* a, const uint8_t* b, int op) {
  if (!short8(a) || !short8(b)) return false;
  uint8_t r[8];
  std::memcpy(r, a + 8, 8);
  int ok = op == 1 ? pd_add(r, 8, b + 8, 8) : op == 2 ? pd_sub(r, 8, b + 8, 8) : pd_mul(r, 8, b + 8, 8);
  if (!ok) return false;
  std::memcpy(a + 8, r, 8);
  return true;
}

// A 32-bit binary entry as a packed value, scale unchanged.
bool to_packed(IiCalc& e) {
  if (e.type != kIiBin) return true;
  uint32_t w = uint32_t(word(e));
  uint8_t tmp[kW];
  int ok = e.uns ? pd_cvp_u32(tmp, kW, w) : pd_cvp(tmp, kW, int32_t(w));
  if (!ok) return false;
  std::memcpy(val(e), tmp, kW);
  e.type = kIiPdFix;
  return true;
}

// Brings a and b to the larger scale.
bool align(IiCalc& a, IiCalc& b) {
  if (a.scale < b.scale) {
    if (!pd_shft(val(a), kW, b.scale - a.scale)) return false;
    a.scale = b.scale;
  } else if (b.scale < a.scale) {
    if (!pd_shft(val(b), kW, a.scale - b.scale)) return false;
    b.scale = a.scale;
  }
  return true;
}

// Drops n low digits of e, truncating, lowering its scale.
bool drop(IiCalc& e, int n) {
  if (n <= 0) return true;
  if (n > e.scale || !pd_shftn(val(e), kW, -n)) return false;
  e.scale = uint8_t(e.scale - n);
  return true;
}

using pacdec::u128;

void trim_mag(u128& m, int& sc) {
  if (sc > 0 && m <= UINT64_MAX) {
    uint64_t w = uint64_t(m);
    ii_trim64(w, sc);
    m = w;
    return;
  }
  while (sc > 0 && m % 10 == 0) {
    m /= 10;
    --sc;
  }
}

// Keeps at most 15 significant digits of a magnitude, dropping decimals
// with rounding (no more than the scale; twice: the rounding may carry into
// a 16th digit).
void limit_mag(u128& m, int& sc) {
  for (int pass = 0; pass < 2; ++pass) {
    int d = pacdec::digit_count(m);
    if (d <= 15) break;
    int n = std::min(d - 15, sc);
    if (n == 0) break;
    if (m <= UINT64_MAX) {  // (the common quotient: 19 digits at most)
      uint64_t w = uint64_t(m), p = uint64_t(pacdec::pow10(n)), q = w / p;
      if (2 * (w % p) >= p) ++q;
      m = q;
#if defined(__x86_64__)
    } else if (n <= 19 && uint64_t(m >> 64) < uint64_t(pacdec::pow10(n))) {
      // The quotient fits 64 bits: one 128-by-64 divide.
      uint64_t p = uint64_t(pacdec::pow10(n)), q, r;
      __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(uint64_t(m)), "d"(uint64_t(m >> 64)), "r"(p) : "cc");
      if (r >= p - r) ++q;  // (2r >= p without overflow)
      m = q;
#endif
    } else {
      u128 p = pacdec::pow10(n), q = m / p;
      if (2 * (m % p) >= p) ++q;
      m = q;
    }
    sc -= n;
  }
}

// Drops trailing zero decimals: decoded once, written once.
void trim_zeros(uint8_t* v, uint8_t* scale) {
  if (*scale == 0) return;
  u128 m;
  bool neg;
  if (!pacdec::decode(v, kW, m, neg)) return;
  int sc = *scale;
  trim_mag(m, sc);
  if (sc == *scale) return;
  pacdec::encode(v, kW, m, neg);
  *scale = uint8_t(sc);
}

// a := a x b (both packed).
bool common_pd_mul(IiCalc& a, IiCalc& b) {
  if (a.scale + b.scale <= 31 && short_op(val(a), val(b), 3)) {  // 15 digits each: nothing to drop
    uint8_t sc = uint8_t(a.scale + b.scale);
    if (sc) trim_zeros(val(a), &sc);
    a.scale = sc;
    return true;
  }
  int d1 = digits(val(a)), d2 = digits(val(b));
  if (d1 < 0 || d2 < 0) return false;
  if (d1 + d2 > 31) {
    if (d1 > 15) {
      int n = std::min<int>(d1 - 15, a.scale);
      if (!drop(a, n)) return false;
      d1 = digits(val(a));
    }
    if (d1 + d2 > 31) {
      int n = std::min<int>(b.scale, d1 + d2 - 15);
      if (!drop(b, n)) return false;
      d2 = digits(val(b));
    }
    while (d1 + d2 >= 32) {
      if (a.scale > 0) {
        drop(a, 1);
        d1 = digits(val(a));
      } else if (b.scale > 0) {
        drop(b, 1);
        d2 = digits(val(b));
      } else {
        return false;
      }
    }
  }
  int scale = a.scale + b.scale;
  if (!pd_mul(val(a), kW, val(b), kW)) return false;
  uint8_t sc = uint8_t(scale);
  trim_zeros(val(a), &sc);
  if (sc > 31) {  // too fine for any field: rounded to 31 decimals
    if (!pd_shft(val(a), kW, 31 - sc)) return false;
    sc = 31;
  }
  a.scale = sc;
  return true;
}

// The older scaling: after aligning, when the digits of the larger operand
// plus twice the scale exceed 30, both operands drop (that - 29) / 2 low
// digits, truncating (no more than the scale).
bool old_pd_mul(IiCalc& a, IiCalc& b) {
  if (!align(a, b)) return false;
  int d = std::max(digits(val(a)), digits(val(b)));
  if (d < 0) return false;
  int s = a.scale;
  if (d + 2 * s > 30) {
    int n = std::min((d + 2 * s - 29) / 2, s);
    if (!drop(a, n) || !drop(b, n)) return false;
  }
  return common_pd_mul(a, b);
}

double to_float(IiCalc& e) {
  if (e.type == kIiBin) return e.uns ? double(uint32_t(word(e))) : double(word(e));
  PdFloat f{val(e), kW, e.scale};
  return pd_to_float(&f);
}

// Keeps at most 15 significant digits (dropping decimals, rounding; at most
// the scale), then, when trim is set, drops trailing zero decimals.
bool limit_digits(uint8_t* v, uint8_t* scale, bool trim = false) {
  if (!trim && short8(v)) return true;  // 15 digits at most already
  u128 m;
  bool neg;
  if (!pacdec::decode(v, kW, m, neg)) return false;
  int sc = *scale;
  limit_mag(m, sc);
  if (trim) trim_mag(m, sc);
  if (sc != *scale) pacdec::encode(v, kW, m, neg);
  *scale = uint8_t(sc);
  return true;
}

// A floating-point result (a quotient) as a magnitude and scale: at 15
// decimals, fewer while it has more than 31 digits, then its 15 highest
// significant digits, rounded, without trailing zero decimals. False when
// not finite or |x| reaches 1e17.
bool float_result(double x, u128& m, int& sc) {
  if (!std::isfinite(x) || std::fabs(x) >= 1e17) return false;
  for (sc = 15;; --sc) {
    if (pd_bin_from_float(x, sc, 2 * kW - 1, &m)) break;
    if (sc == 0) return false;
  }
  limit_mag(m, sc);
  trim_mag(m, sc);
  return true;
}

// A floating-point result into e: |x| below 1e17 and finite, else false.
bool float_to_oprnd(double x, IiCalc& e) {
  u128 m;
  int sc;
  if (!float_result(x, m, sc)) return false;
  pacdec::encode(val(e), kW, m, std::signbit(x));
  e.scale = uint8_t(sc);
  if (e.type == kIiBin) e.type = kIiPdFix;
  return true;
}

bool pd_divide(IiCalc& a, IiCalc& b) {
  double y = to_float(b);
  if (y == 0 || std::isnan(y)) return false;
  return float_to_oprnd(to_float(a) / y, a);
}

// A quotient x of a (am at scale as) and b (bm at scale bs) that is exact
// in at most 15 significant digits below 10^15 (a division by 2, 4, 5, 8,
// 10 ... of a short value): its digits and scale, trailing zeros dropped,
// checked by multiplying back. Such a quotient is what float_result makes
// of x (x is within three roundings of it, far inside the half unit of its
// 15th digit), found without it.
bool exact_quotient(double x, u128& am, int& as, u128 bm, int bs) {
  static const double kP10d[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  constexpr u128 k53 = u128(1) << 53;
  if (am == 0 || am >= k53 || bm >= k53 || as < 0 || as > 15 || bs < 0 || bs > 15) return false;
  double ax = std::fabs(x);
  if (!(ax < 1e15)) return false;
  int d = 0;  // digits before the point
  while (d < 15 && ax >= kP10d[d]) ++d;
  int t = 15 - d;
  uint64_t cand = uint64_t(ax * kP10d[t] + 0.5);
  if (cand == 0) return false;
  // The check in 64 bits where its products fit (the common case), else in 128.
  uint64_t l64, r64;
  if (as <= 19 && bs + t <= 19 && !__builtin_mul_overflow(cand, uint64_t(bm), &l64) &&
      !__builtin_mul_overflow(l64, uint64_t(pacdec::pow10(as)), &l64) &&
      !__builtin_mul_overflow(uint64_t(am), uint64_t(pacdec::pow10(bs + t)), &r64)) {
    if (l64 != r64) return false;
    am = cand;
    as = t;
    trim_mag(am, as);
    return true;
  }
  u128 lhs, rhs;
  if (__builtin_mul_overflow(u128(cand), bm, &lhs) ||
      __builtin_mul_overflow(lhs, pacdec::pow10(as), &lhs) || __builtin_mul_overflow(am, pacdec::pow10(bs + t), &rhs) ||
      lhs != rhs)
    return false;
  am = cand;
  as = t;
  trim_mag(am, as);
  return true;
}

bool by_power_of_ten(u128& am, int& as, u128 bm, int bs) {
  if (am > UINT64_MAX || bm > UINT64_MAX) return false;
  uint64_t a = uint64_t(am);
  if (!ii_divide_p10(a, as, uint64_t(bm), bs)) return false;
  am = a;
  return true;
}

// pd_divide on magnitudes, signs and scales (the statement plans): a :=
// a / b; false when the divide fails.
bool bin_divide(u128& am, bool& an, int& as, u128 bm, bool bn, int bs) {
  if (by_power_of_ten(am, as, bm, bs)) {
    an = an != bn;
    return true;
  }
  double y = pd_bin_to_float(bm, bn, bs);
  if (y == 0 || std::isnan(y)) return false;
  double x = pd_bin_to_float(am, an, as) / y;
  if (exact_quotient(x, am, as, bm, bs)) {
    an = std::signbit(x);
    return true;
  }
  if (!float_result(x, am, as)) return false;
  an = std::signbit(x);
  return true;
}

// Reads the stored operand at p into e; a negative scale becomes scale 0,
// the digits shifted up (failing: an invalid value).
// (Widened as it is: an invalid value fails in the operation that uses it.)
void load_packed(IiCalc& e, const uint8_t* p, int len, int scale) {
  e.scale = 0;
  if (scale < kIiMinScale || scale > kIiMaxScale || len < 1 || len > kW) {
    set_invalid(e);
    return;
  }
  pd_widen(val(e), p, len);
  if (scale >= 0) e.scale = uint8_t(scale);
  else if (!pd_shft(val(e), kW, -scale)) set_invalid(e);
}

// The CALC store's limit: at most 15 significant digits, the excess low
// digits dropped with rounding and the scale lowered as far as they go,
// below 0 too (twice: the rounding may carry into a 16th digit).
bool calc_limit(uint8_t* v, int* scale) {
  if (short8(v)) return true;
  for (int pass = 0; pass < 2; ++pass) {
    int d = digits(v);
    if (d < 0) return false;
    if (d <= 15) break;
    if (!pd_shft(v, kW, 15 - d)) return false;
    *scale -= d - 15;
  }
  return true;
}

// The stack's depth is bounded when the expression is compiled; damaged
// code that would pass either end of it fails instead.
constexpr uint32_t kCalcDepth = 30;
bool has(const IlfState* s, uint32_t n) { return s->calc_count >= n && s->calc_count <= kCalcDepth; }

// ------------------------------------------------ compiled statements --
// A CALC statement whose operands are all packed variables or constants
// (address register 1, types 8 and 12) or binary fields made packed at once
// (type 5 and ALTER_ELEM, as the compiler writes them), whose target is a
// packed or binary field, and whose operators are +, -, *, / and negation
// runs, from its second run on, as one step: the reset finds the
// statement's plan and jumps to its runner, which computes by the same
// rules as the packed stack and stores: the move copies the value, the rest
// computes on 64-bit values with their scales (the compiled form; fields
// read and stored through the value cache, constants decoded when the plan
// is built, two to four operands in straight code) and, when
// those do not decide it, on exact binary values (a 128-bit magnitude with
// its scale). The plan is built once every instruction of the statement has
// been relocated; its number is kept in the zero bytes of the reset and of
// the instruction after it (relocated code is never saved), and the plan
// remembers the reset's address: the plans are kMaxPlans at most, their
// numbers given again in turn, and a statement whose number went to another
// one is planned again. Anything the plan does not decide alone (an invalid
// operand, an overflow, a store that does not fit, the older multiply, the
// trace or the debugger) runs the statement instruction by instruction, as
// before, which gives the error with the target unchanged.
namespace plan {

using pacdec::i128;
using pacdec::u128;

constexpr uint8_t kPush = 1, kOp = 2, kNeg = 3, kEq = 4;
struct Step {
  uint8_t kind;
  uint8_t arg;      // the operation of kOp
  uint8_t is_cnst;  // kPush: off is the constant's own offset, else its area word's
  uint8_t unused;
  uint32_t off;     // arena offset
};
constexpr int kMaxSteps = 48;
// The statement compiled for run_int and run_short: its operands (the
// pushes after the target's), each read once at the start, then its
// operations in order on numbered values, the operands first and then each
// operation's result: no stack, and no step kinds to tell apart while it
// runs. A constant is decoded when the plan is built; a run only checks
// that its bytes are still those.
constexpr int kMaxLeaves = kMaxSteps / 2;  // (a statement of 48 steps has at most 23)
struct Leaf {
  uint32_t off;   // arena offset: the constant's own, else its area word's
  uint8_t cnst;
  uint8_t sc;     // a constant's scale byte
  uint8_t ok;     // a constant that decoded (else the exact run decides)
  uint8_t bin;    // a binary field (its 32-bit word, signed, at scale 0)
  uint64_t raw;   // a constant's first 8 bytes as stored
  int64_t m;      // and their value
};
struct Calc {
  uint8_t op;  // kOp's operation (1-4), or 0 for negation
  uint8_t a, b;
};
struct Plan;
// A plan's run from the reset at pc: the instruction to go on at.
using Runner = IiRun;
// What a run reads first lies in its first two cache lines. The head: its
// runner and the reset's arena offset.
struct alignas(64) Plan : IiPlanHead {
  uint32_t next = 0;   // the instruction after the store
  mutable IiLink link{};  // to the plan there
  uint16_t insts = 0;  // instructions the statement runs
  uint8_t n = 0;
  bool move = false;   // push, push, store: a copy of one value
  uint8_t nl = 0, nc = 0;  // operands and operations of the compiled form
  uint8_t res = 0;         //   the value it stores
  uint16_t pair = 0;       //   the sign nibbles its constants were decoded by
  uint8_t op[3] = {};      //   the short forms' operations
  bool bin = false;        // a binary operand or target
  bool bin_target = false;
  bool incr = false;       // T = T + k, k a constant of one digit (1-9): a counter
  bool enter = false;      // a copy (move) whose target is read soon: its entry is the copy's
  Step target{};
  Leaf leaf[kMaxLeaves];
  Calc calc[kMaxSteps];

  Step step[kMaxSteps];
};
constexpr uint16_t kNone = 0xFFFF;  // the statement has no plan
constexpr uint16_t kMaxPlans = 4096;
IiPlans<Plan> g_plans;
uint16_t g_next = 0;  // the number to reuse once all are taken
uint64_t g_runs = 0;

uint16_t plan_no(const uint8_t* pc) { return uint16_t(pc[3] | pc[7] << 8); }
void set_plan_no(uint8_t* pc, uint16_t no) {
  pc[3] = uint8_t(no);
  pc[7] = uint8_t(no >> 8);
}
uint32_t off(const uint8_t* p) { return uint32_t(p - ii_arena); }
uint16_t op_of(const uint8_t* p) { return rec::view<IbInst>(const_cast<uint8_t*>(p)).op; }
// The plan the reset at pc names while it is still that statement's, else
// null (none, or its number went to another statement).
[[gnu::always_inline]] inline const Plan* plan_at(const uint8_t* pc) {
  uint16_t no = plan_no(pc);
  if (uint16_t(no - 1) >= uint16_t(kNone - 1)) return nullptr;
  const Plan& pl = g_plans[no - 1u];
  return pl.at == off(pc) ? &pl : nullptr;
}

// The short forms, run in straight code (run_short): X op Y, (X op Y) op Z,
// X op (Y op Z), ((X op Y) op Z) op W and X op ((Y op Z) op W) (T = T + X *
// Y / Z), each operand used once, no negation.
enum : uint8_t { kGeneral = 0, kShort2 = 1, kShort3L = 2, kShort3R = 3, kShort4L = 4, kShort4R = 5 };
// The compiled form of pl's steps (pushes, operations, negations and the
// store, the depth checked as they were taken), and its short form if any.
uint8_t compile(Plan& pl) {
  uint8_t slot[kCalcDepth];  // the value at each depth of the stack
  int depth = 0;
  pl.pair = uint16_t(com.pd_pos | com.pd_neg << 8);
  for (int i = 0; i < pl.n; ++i) {
    const Step& x = pl.step[i];
    if (x.kind == kPush) {
      if (depth == 0) {
        pl.target = x;
        slot[depth++] = 0;
        continue;
      }
      Leaf l{x.off, x.is_cnst, 0, 0, uint8_t(x.arg == kIiBin), 0, 0};
      if (x.is_cnst) {
        const uint8_t* p = ii_arena + x.off;
        uint64_t w = pacdec::load8(p), sg = w & 0xF, d = w >> 4;
        l.sc = p[8];
        std::memcpy(&l.raw, p, 8);
        l.ok = pacdec::digits_ok(d) && (sg == com.pd_pos || sg == com.pd_neg) && l.sc <= 31;
        l.m = l.ok ? int64_t(pacdec::bcd_to_bin(d)) * (sg == com.pd_neg ? -1 : 1) : 0;
      }
      slot[depth++] = pl.nl;
      pl.leaf[pl.nl++] = l;
    } else if (x.kind == kOp || x.kind == kNeg) {
      bool neg = x.kind == kNeg;
      pl.calc[pl.nc] = Calc{uint8_t(neg ? 0 : x.arg), slot[depth - (neg ? 1 : 2)], slot[depth - 1]};
      depth -= neg ? 0 : 1;
      slot[depth - 1] = uint8_t(kMaxLeaves + pl.nc++);
    }
  }
  pl.res = slot[1];
  const Calc* c = pl.calc;
  constexpr uint8_t k = kMaxLeaves;
  bool ops = pl.nc == pl.nl - 1 && pl.nc <= 3;
  for (int j = 0; ops && j < pl.nc; ++j) {
    pl.op[j] = c[j].op;
    ops = c[j].op != 0;
  }
  if (!ops) return kGeneral;
  auto is = [&](int j, int a, int b) { return c[j].a == a && c[j].b == b; };
  if (pl.nl == 2) return kShort2;
  if (pl.nl == 3 && is(0, 0, 1) && is(1, k, 2)) return kShort3L;
  if (pl.nl == 3 && is(0, 1, 2) && is(1, 0, k)) return kShort3R;
  if (pl.nl == 4 && is(0, 0, 1) && is(1, k, 2) && is(2, k + 1, 3)) return kShort4L;
  if (pl.nl == 4 && is(0, 1, 2) && is(1, k, 3) && is(2, 0, k + 1)) return kShort4R;
  return kGeneral;
}
Runner runner_for(const Plan& pl, uint8_t shape);

// Whether one of the few instructions after the statement loads its target
// into an address register: a read of it soon (P = Q, then IF P ...). The
// look stays inside the code: it follows the chain to the next block and
// stops at an instruction the code may end with.
bool read_soon(const Plan& pl) {
  uint8_t* p = ii_arena + pl.next;
  for (int i = 0; i < 8; ++i) {
    uint16_t op = op_of(p);
    if (op == 465) {  // the chain to the next block
      p = ii_at(p + 4);
      continue;
    }
    if ((op == 61 || op == 63 || op == 65 || op == 67) && rec::view<rec::U32>(p + 4).get() == pl.target.off)
      return true;
    size_t len = ib_ends_run(op) ? 0 : ib_inst_len(p);
    if (len == 0) return false;
    p = ii_adv(p, len);
  }
  return false;
}

// The plan of the statement at pc, or kNone when it has none; 0 while one
// of its instructions is still to be relocated (looked at again next time).
uint16_t build(uint8_t* pc) {
  Plan pl;
  pl.at = off(pc);
  uint8_t* p = ii_adv(pc, 4);
  int depth = 0, insts = 1;
  bool reg1 = false, reg1_cnst = false;
  uint32_t reg1_off = 0;
  for (;;) {
    if (++insts > 4 * kMaxSteps || pl.n >= kMaxSteps) return kNone;
    uint16_t op = op_of(p);
    if ((op & ~1u) == 464) {  // the block chain
      if (op == 464) return 0;
      p = ii_at(p + 4);
      continue;
    }
    Step st{};
    switch (op) {
      case 60: case 52: return 0;  // not relocated yet
      case 61: case 53:
        reg1 = true;
        reg1_cnst = op == 53;
        reg1_off = rec::view<rec::U32>(p + 4).get();
        p = ii_adv(p, 8);
        continue;
      case 702: case 703: {
        uint8_t type = rec::view<IbMath>(p).arg;
        if (!reg1 || ++depth > int(kCalcDepth)) return kNone;
        if (type == kIiBin) {
          // A binary field: the target, or an operand that ALTER_ELEM
          // makes packed at once (as the compiler writes it).
          if (reg1_cnst) return kNone;
          pl.bin = true;
          if (depth > 1) {
            uint8_t* q = ii_adv(p, 6);
            if ((op_of(q) | 1) != 715 || rec::view<IbMath>(q).arg != 1) return kNone;
            ++insts;
            pl.step[pl.n++] = Step{kPush, kIiBin, 0, 0, reg1_off};
            p = ii_adv(q, 6);
            continue;
          }
          pl.bin_target = true;
        } else if (type != kIiPdFix && type != kIiPdVar) {
          return kNone;
        }
        st = Step{kPush, type, uint8_t(reg1_cnst), 0, reg1_off};
        break;
      }
      case 704: case 705: {
        uint8_t a = rec::view<IbMath>(p).arg;
        if (a < 1 || a > 4 || depth < 3) return kNone;  // the target stays below
        --depth;
        st = Step{kOp, a, 0, 0, 0};
        break;
      }
      case 706: case 707:
        if (depth < 2) return kNone;
        st = Step{kNeg, 0, 0, 0, 0};
        break;
      case 708: case 709:
        if (depth != 2) return kNone;
        pl.step[pl.n++] = Step{kEq, 0, 0, 0, 0};
        pl.next = off(ii_adv(p, 6));
        pl.insts = uint16_t(insts);
        goto built;
      default: return kNone;
    }
    pl.step[pl.n++] = st;
    p = ii_adv(p, 6);
  }
built:
  pl.move = pl.n == 3 && pl.step[1].kind == kPush && !pl.bin;
  uint8_t shape = compile(pl);
  pl.enter = pl.move && read_soon(pl);  // (the target: compile's)
  pl.incr = shape == kShort2 && pl.op[0] == 1 && !pl.bin && !pl.leaf[0].cnst && pl.leaf[0].off == pl.target.off &&
            pl.leaf[1].cnst && pl.leaf[1].ok && pl.leaf[1].m >= 1 && pl.leaf[1].m <= 9;
  pl.run = runner_for(pl, shape);
  IiPlans<Plan>& v = g_plans;
  uint16_t no;
  if (v.size() < kMaxPlans) {
    v.push_back(pl);
    no = uint16_t(v.size());
  } else {
    no = uint16_t(g_next + 1);
    v[g_next] = pl;
    g_next = uint16_t((g_next + 1) % kMaxPlans);
  }
  return no;
}

struct Val {
  i128 m;  // |m| < 10^31
  int sc;  // 0..31
};
u128 mag(i128 m) { return m < 0 ? u128(-m) : u128(m); }
int ndig(i128 m) { return pacdec::digit_count(mag(m)); }
// m / 10^n, truncated (toward zero) or rounded half away from zero.
i128 down(i128 m, int n, bool round) {
  if (n > 38) return 0;
  u128 d = pacdec::pow10(n), a = mag(m), q = a / d;
  if (round && 2 * (a % d) >= d) ++q;
  return m < 0 ? -i128(q) : i128(q);
}
// The 31-digit limit of the stack.
bool fits31(i128 m) { return mag(m) < pacdec::pow10(31); }
// m * 10^n within 31 digits (pd_shft).
bool up(Val& v, int n) {
  if (n == 0 || v.m == 0) {
    v.sc += n;
    return true;
  }
  if (n >= 31 || mag(v.m) >= pacdec::pow10(31 - n)) return false;
  v.m *= i128(pacdec::pow10(n));
  v.sc += n;
  return true;
}
void trim(Val& v) {
  while (v.sc > 0 && v.m % 10 == 0) {
    v.m /= 10;
    --v.sc;
  }
}
void drop1(Val& v, int n) {
  v.m = down(v.m, n, false);
  v.sc -= n;
}
// common_pd_mul on binary values.
bool mul(Val& a, Val& b) {
  int d1 = ndig(a.m), d2 = ndig(b.m);
  if (d1 + d2 > 31) {
    if (d1 > 15) {
      drop1(a, std::min(d1 - 15, a.sc));
      d1 = ndig(a.m);
    }
    if (d1 + d2 > 31) {
      drop1(b, std::min(b.sc, d1 + d2 - 15));
      d2 = ndig(b.m);
    }
    while (d1 + d2 >= 32) {
      if (a.sc > 0) {
        drop1(a, 1);
        d1 = ndig(a.m);
      } else if (b.sc > 0) {
        drop1(b, 1);
        d2 = ndig(b.m);
      } else {
        return false;
      }
    }
  }
  u128 p;
  if (__builtin_mul_overflow(mag(a.m), mag(b.m), &p) || p >= pacdec::pow10(31)) return false;
  a.m = (a.m < 0) != (b.m < 0) ? -i128(p) : i128(p);
  a.sc += b.sc;
  trim(a);
  if (a.sc > 31) {
    a.m = down(a.m, a.sc - 31, true);
    a.sc = 31;
  }
  return true;
}

// An 8-byte packed operand and its scale byte, a negative scale brought to
// 0 (load_packed); false for an invalid one.
bool load(const uint8_t* p, Val& v) {
  uint64_t w = pacdec::load8(p);
  uint64_t s = w & 0xF, d = w >> 4;
  int sc = int8_t(p[8]);
  if (!pacdec::digits_ok(d) || (s != com.pd_pos && s != com.pd_neg) || sc < kIiMinScale || sc > kIiMaxScale)
    return false;
  i128 m = i128(pacdec::bcd_to_bin(d));
  v.m = s == com.pd_neg ? -m : m;
  v.sc = sc;
  return sc >= 0 || up(v, -sc);  // (to scale 0)
}

// The operand a push reads.
inline uint8_t* field(uint32_t off, bool cnst) {
  if (cnst) return ii_arena + off;
  uint32_t w;
  std::memcpy(&w, ii_arena + off, 4);  // the area word: a Ref
  return w ? ii_arena + w : nullptr;
}
inline uint8_t* field(const Step& x) { return field(x.off, x.is_cnst); }
inline uint8_t* field(const Leaf& x) { return field(x.off, x.cnst); }

// The common case first: 64-bit values with their scales. While a value
// fits 64 bits it is far inside 31 digits, so an aligning shift or a sum
// that fits is what the rules give, and a product that fits has too few
// digits for the multiply to drop any (it only drops trailing zero
// decimals); a value past 64 bits, a scale past 31 or a store past 15
// digits leaves it to the exact general run.
// 1 done, 0 the statement must run instruction by instruction, -1 not
// decided here.
constexpr int64_t kP10[19] = {1,
                              10,
                              100,
                              1000,
                              10000,
                              100000,
                              1000000,
                              10000000,
                              100000000,
                              1000000000,
                              10000000000,
                              100000000000,
                              1000000000000,
                              10000000000000,
                              100000000000000,
                              1000000000000000,
                              10000000000000000,
                              100000000000000000,
                              1000000000000000000};
// v * 10^k within 64 bits.
inline bool up64(int64_t& v, int k) { return v == 0 || (k <= 18 && !__builtin_mul_overflow(v, kP10[k], &v)); }

// An operand of the compiled form: 1 read, 0 a field with no data area
// (the instructions decide), -1 a value the exact run must decide. A field
// is read through the value cache. Fast (the straight path of a runner,
// which calls nothing): anything but 1 goes to the full run.
template <bool Fast>
[[gnu::always_inline]] inline int read(const Leaf& l, uint64_t pair, uint64_t hi, int64_t& v, int& sc, uint8_t*& p) {
  if (l.cnst) {
    uint64_t raw;
    p = ii_arena + l.off;
    std::memcpy(&raw, p, 8);
    if (raw != l.raw || p[8] != l.sc || !l.ok) return -1;
    v = l.m;
    sc = l.sc;
    return 1;
  }
  uint32_t w;
  std::memcpy(&w, ii_arena + l.off, 4);  // the area word: a Ref
  if (!w) return 0;
  p = ii_arena + w;
  if (l.bin) [[unlikely]] {
    v = int32_t(rec::view<rec::U32>(p).get());
    sc = 0;
    return 1;
  }
  if constexpr (Fast) return ii_vc_get(p, hi, v, sc) ? 1 : 0;
  return ii_vc_read(p, pair, v, sc) ? 1 : -1;
}

// a := a op b by the packed stack's rules; false when the exact run must
// decide (64 bits overflow, a scale past 31, the older multiply), or (Fast)
// when the division would need a call.
template <bool Fast = false>
[[gnu::always_inline]] inline bool apply(uint8_t op, int64_t& a, int& sa, int64_t b, int sb) {
  if (op <= 2) {
    if (op == 0) {  // negation
      if (a == INT64_MIN) return false;
      a = -a;
      return true;
    }
    if (sa != sb) [[unlikely]] {
      if (sa < sb ? !up64(a, sb - sa) : !up64(b, sa - sb)) return false;
      sa = std::max(sa, sb);
    }
    return !(op == 1 ? __builtin_add_overflow(a, b, &a) : __builtin_sub_overflow(a, b, &a));
  }
  if (op == 3) {
    if (g_old_mul || __builtin_mul_overflow(a, b, &a)) return false;
    sa += sb;
    if (sa > 0 && a % 10 == 0) {  // trailing zero decimals dropped
      uint64_t w = a < 0 ? uint64_t(0) - uint64_t(a) : uint64_t(a);
      ii_trim64(w, sa);
      a = a < 0 ? -int64_t(w) : int64_t(w);
    }
    return sa <= 31;
  }
  int64_t q;  // below 10^17: within 64 bits
  int qs;
  if (!ii_math_divide<!Fast>(a, sa, b, sb, &q, &qs)) return false;
  a = q;
  sa = qs;
  return true;
}

// A binary target takes the value rounded to an integer (half away from
// zero) when it is a 32-bit word; false otherwise (the exact run decides).
[[gnu::always_inline]] inline bool store_word(uint8_t* target, int64_t v, int sc) {
  int32_t w;
  if (!ii_round_word(v, sc, &w)) return false;
  rec::view<rec::U32>(target) = uint32_t(w);
  return true;
}

// The store of the result (15 digits at most; a binary target's word), and
// what the instructions leave besides: address register 1 at the last
// operand pushed, the stack's depth, the instructions counted for the
// loop's yield.
[[gnu::always_inline]] inline int stored(const Plan& pl, IlfState* s, uint8_t* r1) {
  s->addr[0] = r1;
  s->calc_count = 1;
  s->count += pl.insts - 1u;
  ++g_runs;
  return 1;
}
// What a straight path left in a variable packed target (t null: nothing
// said), for the step after it (ii_go_stored).
struct Stored {
  const uint8_t* t = nullptr;
  int64_t v = 0;
  int sc = 0;
  uint64_t pair = 0;
};
[[gnu::always_inline]] inline int store(const Plan& pl, IlfState* s, uint8_t* target, uint8_t* r1, int64_t v, int sc,
                                        uint64_t pair, Stored& out) {
  uint64_t a = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  if (pl.bin_target) [[unlikely]] {
    if (!store_word(target, v, sc)) return -1;
  } else {
    if (a >= 1000000000000000ULL) return -1;
    ii_vc_store(target, v, sc, pair);
    out = Stored{target, v, sc, pair};
  }
  return stored(pl, s, r1);
}
// A counter (Plan::incr: T = T + k, k a constant digit at its scale) on
// the straight path: when T is valid, 0 or above, at k's scale, and its last
// digit does not carry, only that digit changes (the high nibble of the
// last byte, the load's top bits), so T is neither decoded nor encoded: its
// bytes are checked and k added to that nibble. Its value goes into the
// cache when the cache held the old one (a counter counting finds its own
// entry each time). 1 done, 0 the full run decides (nothing written).
int run_count(const Plan& pl, IlfState* s, Stored&) {
  const uint64_t pair = ii_vc_pair();
  const Leaf& k = pl.leaf[1];
  uint8_t* kp = ii_arena + k.off;
  uint64_t kraw, raw;
  std::memcpy(&kraw, kp, 8);
  if (pl.pair != pair || kraw != k.raw || kp[8] != k.sc) return 0;  // (the constant as decoded)
  uint8_t* t = field(pl.target);
  if (!t) return 0;
  std::memcpy(&raw, t, 8);
  // The last byte with k added to its digit, its sign nibble 0 when it was
  // the positive one.
  const uint64_t w = ((raw >> 56) + (uint64_t(k.m) << 4)) ^ (pair & 0xFF);
  if (t[8] != k.sc || w >= 0xA0 || (w & 0xF) != 0 || !pacdec::digits_ok(__builtin_bswap64(raw) >> 4)) return 0;
  const uint64_t now = raw + (uint64_t(k.m) << 60);
  std::memcpy(t, &now, 8);
  const uint32_t place = uint32_t(t - ii_arena);
  const IiVcEntry& e = ii_vc_slot(place);
  if (e.key == ii_vc_key(place, k.sc, pair) && e.raw == raw) ii_vc_enter(t, now, e.v + k.m, k.sc, pair);
  return stored(pl, s, kp);
}

// The compiled form: 1 done, 0 the statement must run instruction by
// instruction, -1 not decided here.
int run_int(const Plan& pl, IlfState* s) {
  int64_t v[kMaxLeaves + kMaxSteps];
  int sc[kMaxLeaves + kMaxSteps];
  const uint64_t pair = ii_vc_pair();
  if (pl.pair != pair) [[unlikely]] return -1;  // constants decoded by other sign nibbles
  uint8_t* target = field(pl.target);
  if (!target) return 0;
  uint8_t* r1 = nullptr;
  for (int i = 0; i < pl.nl; ++i) {
    int r = read<false>(pl.leaf[i], pair, 0, v[i], sc[i], r1);
    if (r <= 0) return r;
  }
  for (int j = 0; j < pl.nc; ++j) {
    const Calc& c = pl.calc[j];
    int64_t a = v[c.a];
    int sa = sc[c.a];
    if (!apply(c.op, a, sa, v[c.b], sc[c.b])) return -1;
    v[kMaxLeaves + j] = a;
    sc[kMaxLeaves + j] = sa;
  }
  Stored out;
  return store(pl, s, target, r1, v[pl.res], sc[pl.res], pair, out);
}

// The short forms, in straight code on values kept in registers. Fast:
// the runner's straight path, 1 done, else (0) the full run decides. O0
// and O1, when not 0, are the first two operations as the plan has them
// (the form compiled for them).
template <uint8_t Shape, uint8_t O0 = 0, uint8_t O1 = 0, bool Fast = false>
int run_short(const Plan& pl, IlfState* s, Stored& out) {
  const uint8_t op0 = O0 ? O0 : pl.op[0], op1 = O1 ? O1 : pl.op[1];
  constexpr int kExact = Fast ? 0 : -1;
  const uint64_t pair = ii_vc_pair(), hi = ii_vc_hi(pair);
  if (pl.pair != pair) [[unlikely]] return kExact;
  uint8_t* target = field(pl.target);
  if (!target) return 0;
  uint8_t* r1;
  int64_t x, y, z = 0, w = 0;
  int sx, sy, sz = 0, sw = 0, r;
  if ((r = read<Fast>(pl.leaf[0], pair, hi, x, sx, r1)) <= 0) return Fast ? 0 : r;
  if ((r = read<Fast>(pl.leaf[1], pair, hi, y, sy, r1)) <= 0) return Fast ? 0 : r;
  if constexpr (Shape != kShort2)
    if ((r = read<Fast>(pl.leaf[2], pair, hi, z, sz, r1)) <= 0) return Fast ? 0 : r;
  if constexpr (Shape == kShort4L || Shape == kShort4R)
    if ((r = read<Fast>(pl.leaf[3], pair, hi, w, sw, r1)) <= 0) return Fast ? 0 : r;
  if constexpr (Shape == kShort3R || Shape == kShort4R) {
    if (!apply<Fast>(op0, y, sy, z, sz)) return kExact;
    if constexpr (Shape == kShort4R)
      if (!apply<Fast>(op1, y, sy, w, sw)) return kExact;
    if (!apply<Fast>(Shape == kShort4R ? pl.op[2] : op1, x, sx, y, sy)) return kExact;
  } else {
    if (!apply<Fast>(op0, x, sx, y, sy)) return kExact;
    if constexpr (Shape != kShort2)
      if (!apply<Fast>(op1, x, sx, z, sz)) return kExact;
    if constexpr (Shape == kShort4L)
      if (!apply<Fast>(pl.op[2], x, sx, w, sw)) return kExact;
  }
  r = store(pl, s, target, r1, x, sx, pair, out);
  return Fast && r < 0 ? 0 : r;
}
template <uint8_t Shape>
int run_short_full(const Plan& pl, IlfState* s) {
  Stored out;
  return run_short<Shape>(pl, s, out);
}

// T = X: a valid value of 15 digits at most always fits, so it is copied
// with its scale, a zero written as the positive zero.
[[gnu::always_inline]] inline bool run_move(const Plan& pl, IlfState* s) {
  uint8_t* t = field(pl.target);
  uint8_t* x = field(pl.leaf[0]);
  if (!t || !x) return false;
  uint64_t w = pacdec::load8(x);
  uint64_t sg = w & 0xF, d = w >> 4;
  uint8_t sc = x[8];
  if (!pacdec::digits_ok(d) || (sg != com.pd_pos && sg != com.pd_neg) || sc > 31) return false;
  if (d == 0) w = com.pd_pos;
  pacdec::store8(t, w);
  t[8] = sc;
  stored(pl, s, x);
  return true;
}

// T = X where T is read soon (Plan::enter): the copy as run_move makes it,
// X read through the value cache (its entry tells it valid and gives its
// value, mostly without a decode: X was mostly just stored or read) and T's
// entry the copy's, so that the read of T finds it.
[[gnu::always_inline]] inline bool run_move_enter(const Plan& pl, IlfState* s, Stored& out) {
  uint8_t* t = field(pl.target);
  uint8_t* x = field(pl.leaf[0]);
  if (!t || !x) return false;
  const uint64_t pair = ii_vc_pair();
  int64_t v;
  int sc;
  if (!ii_vc_get(x, ii_vc_hi(pair), v, sc)) return false;
  uint64_t raw;
  std::memcpy(&raw, x, 8);
  if (v == 0) raw = (pair & 0xFF) << 56;  // (the positive zero)
  std::memcpy(t, &raw, 8);
  t[8] = uint8_t(sc);
  ii_vc_enter(t, raw, v, sc, pair);
  out = Stored{t, v, sc, pair};
  stored(pl, s, x);
  return true;
}

// The general run, on exact values with their scales (out of line: its
// stack is large); false, with nothing changed, when the statement must run
// instruction by instruction.
[[gnu::noinline]] bool run_exact(const Plan& pl, IlfState* s) {
  Val st[kCalcDepth];
  int n = 0;
  uint8_t* target = nullptr;
  uint8_t* r1 = nullptr;
  for (int i = 0; i < pl.n; ++i) {
    const Step& x = pl.step[i];
    switch (x.kind) {
      case kPush: {
        r1 = field(x);
        if (!r1) return false;
        if (n == 0) {
          target = r1;  // its value is not used
          st[n++] = Val{0, 0};
        } else if (x.arg == kIiBin) {
          st[n++] = Val{int32_t(rec::view<rec::U32>(r1).get()), 0};
        } else if (!load(r1, st[n++])) {
          return false;
        }
        break;
      }
      case kOp: {
        Val& a = st[n - 2];
        Val b = st[n - 1];
        --n;
        if (x.arg == 4) {
          u128 am = mag(a.m);
          bool an = a.m < 0;
          if (!bin_divide(am, an, a.sc, mag(b.m), b.m < 0, b.sc)) return false;
          a.m = an ? -i128(am) : i128(am);
        } else if (x.arg == 3) {
          if (g_old_mul || !mul(a, b)) return false;
        } else {
          if (a.sc < b.sc ? !up(a, b.sc - a.sc) : !up(b, a.sc - b.sc)) return false;
          a.m = x.arg == 1 ? a.m + b.m : a.m - b.m;
          if (!fits31(a.m)) return false;
        }
        break;
      }
      case kNeg: st[n - 1].m = -st[n - 1].m; break;
      default: {  // kEq: the 15 highest digits (calc_limit)
        Val v = st[n - 1];
        if (pl.bin_target) {  // a 32-bit word, rounded
          i128 q = down(v.m, v.sc, true);
          if (q < INT32_MIN || q > INT32_MAX) return false;
          rec::view<rec::U32>(target) = uint32_t(int32_t(q));
          break;
        }
        for (int pass = 0; pass < 2; ++pass) {
          int d = ndig(v.m);
          if (d <= 15) break;
          v.m = down(v.m, d - 15, true);
          v.sc -= d - 15;
        }
        u128 a = mag(v.m);
        if (a >= pacdec::pow10(15)) return false;
        uint64_t w = pacdec::bin_to_bcd(uint64_t(a)) << 4 | (v.m < 0 ? com.pd_neg : com.pd_pos);
        pacdec::store8(target, w);
        target[8] = uint8_t(v.sc);
      }
    }
  }
  stored(pl, s, r1);
  return true;
}

// ------------------------------------------------------------ runners --
// Each form's runner goes on after the store when its run decided the
// statement; else the exact run decides, or the instructions run from the
// reset as if there were no plan.
[[gnu::noinline]] uint8_t* undecided(IlfExecBlock* b, IlfState* s, uint8_t* pc, const Plan& pl, int r) {
  if (r < 0 && run_exact(pl, s)) return ii_next(b, s, ii_arena + pl.next);
  s->calc_count = 0;
  return ii_adv(pc, 4);
}
template <int (*Run)(const Plan&, IlfState*)>
uint8_t* runner(IlfExecBlock* b, IlfState* s, uint8_t* pc, const IiPlanHead& h) {
  const Plan& pl = static_cast<const Plan&>(h);
  int r = Run(pl, s);
  if (r > 0) [[likely]] return ii_go(b, s, ii_arena + pl.next, pl.link);
  return undecided(b, s, pc, pl, r);
}
// A form whose straight path (Fast) calls nothing (a value the cache
// misses is decoded in line), so that no value of it is held across a
// call; whatever it does not decide (nothing written: a division by
// another divisor, anything the exact run or the instructions decide) runs
// the form in full out of line, from the start. (The reset's address is
// the plan's: pc need not be kept.)
template <int (*Run)(const Plan&, IlfState*)>
[[gnu::noinline, gnu::cold]] uint8_t* runner_cold(IlfExecBlock* b, IlfState* s, const Plan& pl) {
  return runner<Run>(b, s, ii_arena + pl.at, pl);
}
// On after a straight path: a compare of what it stored runs here.
[[gnu::always_inline]] inline uint8_t* go_on(IlfExecBlock* b, IlfState* s, const Plan& pl, const Stored& o) {
  if (o.t) return ii_go_stored(b, s, ii_arena + pl.next, pl.link, o.t, o.v, o.sc, o.pair);
  return ii_go(b, s, ii_arena + pl.next, pl.link);
}
template <int (*Fast)(const Plan&, IlfState*, Stored&), int (*Run)(const Plan&, IlfState*)>
uint8_t* runner2(IlfExecBlock* b, IlfState* s, uint8_t*, const IiPlanHead& h) {
  const Plan& pl = static_cast<const Plan&>(h);
  Stored o;
  if (Fast(pl, s, o) > 0) [[likely]] return go_on(b, s, pl, o);
  return runner_cold<Run>(b, s, pl);
}
int move_form(const Plan& pl, IlfState* s) { return run_move(pl, s) ? 1 : 0; }
uint8_t* move_enter_runner(IlfExecBlock* b, IlfState* s, uint8_t* pc, const IiPlanHead& h) {
  const Plan& pl = static_cast<const Plan&>(h);
  Stored o;
  if (run_move_enter(pl, s, o)) [[likely]] return go_on(b, s, pl, o);
  return undecided(b, s, pc, pl, 0);
}
// The short forms' runners: one per first two operations (each compiled
// for its own; a third is read from the plan).
template <uint8_t Shape, uint8_t O0 = 0, uint8_t O1 = 0>
constexpr Runner kShortRunner = runner2<run_short<Shape, O0, O1, true>, run_short_full<Shape>>;
template <uint8_t Shape, size_t... I>
constexpr std::array<Runner, sizeof...(I)> short_runners(std::index_sequence<I...>) {
  if constexpr (Shape == kShort2) return {kShortRunner<Shape, uint8_t(I + 1)>...};
  else return {kShortRunner<Shape, uint8_t(I / 4 + 1), uint8_t(I % 4 + 1)>...};
}
constexpr auto kShort2Runners = short_runners<kShort2>(std::make_index_sequence<4>());
constexpr auto kShort3LRunners = short_runners<kShort3L>(std::make_index_sequence<16>());
constexpr auto kShort3RRunners = short_runners<kShort3R>(std::make_index_sequence<16>());
constexpr auto kShort4LRunners = short_runners<kShort4L>(std::make_index_sequence<16>());
constexpr auto kShort4RRunners = short_runners<kShort4R>(std::make_index_sequence<16>());
Runner runner_for(const Plan& pl, uint8_t shape) {
  if (pl.move) return pl.enter ? move_enter_runner : runner<move_form>;
  if (pl.incr) return runner2<run_count, run_short_full<kShort2>>;
  const int o0 = pl.op[0] - 1, o01 = o0 * 4 + pl.op[1] - 1;  // (each 1-4)
  switch (shape) {
    case kShort2: return kShort2Runners[o0];
    case kShort3L: return kShort3LRunners[o01];
    case kShort3R: return kShort3RRunners[o01];
    case kShort4L: return kShort4LRunners[o01];
    case kShort4R: return kShort4RRunners[o01];
    default: return runner<run_int>;
  }
}

}  // namespace plan

// ------------------------------------------------------ calc stack --
// The reset of a statement with no plan yet, whose plan number went to
// another statement, or while every instruction is looked at.
[[gnu::noinline]] uint8_t* reset_slow(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint16_t no = plan::plan_no(pc);
  if (no == 0) {
    no = plan::build(pc);
    if (no) plan::set_plan_no(pc, no);
  }
  if (uint16_t(no - 1) < uint16_t(plan::kNone - 1)) {  // a plan
    const plan::Plan& pl = plan::g_plans[no - 1u];
    if (pl.at != plan::off(pc)) {
      plan::set_plan_no(pc, 0);  // its number went to another statement: a new plan next time
    } else if (!ii_slow(s)) {
      return pl.run(b, s, pc, pl);
    }
  }
  s->calc_count = 0;
  return ii_adv(pc, 4);
}

uint8_t* inst_reset_calc_stack(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  const plan::Plan* pl = plan::plan_at(pc);
  if (pl && !ii_slow(s)) [[likely]] return pl->run(b, s, pc, *pl);
  return reset_slow(b, s, pc);
}

// The link to the reset at pc.
void reset_link(uint8_t* pc, IiLink& l) {
  if (const plan::Plan* pl = plan::plan_at(pc)) l.to = pl;
}

// Push address register 1's operand.
uint8_t* inst_calc_oprnd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (s->calc_count >= kCalcDepth) return ii_fail(b, s, kIiErrRuntime);
  IiCalc& e = ii_calc(s, s->calc_count++);
  uint8_t* p = s->addr[0];
  e.set_addr(p);
  e.type = rec::view<IbMath>(pc).arg;
  e.uns = 0;
  e.room = e.type == kIiBin ? 4 : 9;
  if (e.type == kIiBin) {
    set_word(e, rec::view<rec::U32>(p).get());
    e.size = 4;
    e.scale = 0;
  } else {
    e.size = e.type == kIiPdVar ? 16 : 8;
    load_packed(e, p, 8, int8_t(p[8]));
  }
  return ii_adv(pc, 6);
}

bool two_ops(IiCalc& a, IiCalc& b, int op) {
  if ((a.type == kIiBin) != (b.type == kIiBin) && (!to_packed(a) || !to_packed(b))) return false;
  if (a.type == kIiBin) {
    int32_t x = word(a);
    if (op == kBinDiv && word(b) == 0) return false;
    if (!bin_math(&x, word(b), op, 0, 0, 0, 0)) return false;
    set_word(a, uint32_t(x));
    return true;
  }
  switch (op) {
    case 1: return align(a, b) && (short_op(val(a), val(b), 1) || pd_add(val(a), kW, val(b), kW));
    case 2: return align(a, b) && (short_op(val(a), val(b), 2) || pd_sub(val(a), kW, val(b), kW));
    case 3: return g_old_mul ? old_pd_mul(a, b) : common_pd_mul(a, b);
    case 4: return pd_divide(a, b);
    default: return false;
  }
}

uint8_t* inst_calc_2_ops(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (!has(s, 2)) return ii_fail(b, s, kIiErrRuntime);
  IiCalc& r = ii_calc(s, s->calc_count - 1);
  IiCalc& l = ii_calc(s, s->calc_count - 2);
  IiCalc keep = l;
  if (!two_ops(l, r, rec::view<IbMath>(pc).arg)) {
    l = keep;
    return ii_fail(b, s, kIiErrRuntime);
  }
  --s->calc_count;
  return ii_adv(pc, 6);
}

uint8_t* inst_calc_neg(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (!has(s, 1)) return ii_fail(b, s, kIiErrRuntime);
  IiCalc& e = ii_calc(s, s->calc_count - 1);
  if (e.type == kIiBin) {
    int64_t v = -int64_t(word(e));
    if (v > INT32_MAX) return ii_fail(b, s, kIiErrRuntime);
    set_word(e, uint32_t(int32_t(v)));
  } else {
    uint8_t& last = val(e)[kW - 1];
    uint8_t sign = last & 0xF;  // an invalid sign stays invalid
    if (sign == com.pd_neg || sign == com.pd_pos)
      last = uint8_t((last & 0xF0) | (sign == com.pd_neg ? com.pd_pos : com.pd_neg));
  }
  return ii_adv(pc, 6);
}

// Store the top into the operand of the entry below.
uint8_t* inst_calc_eq(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (!has(s, 2)) return ii_fail(b, s, kIiErrRuntime);
  IiCalc v = ii_calc(s, --s->calc_count);
  IiCalc& t = ii_calc(s, s->calc_count - 1);
  uint8_t* p = t.addr();
  if (t.room < (t.type == kIiBin ? 4 : 9)) return ii_fail(b, s, kIiErrRuntime);
  if (t.type == kIiBin) {
    int32_t out;
    if (v.type == kIiBin) {
      out = word(v);
    } else {
      bool ok = pd_shft(val(v), kW, -int(v.scale));
      out = ok ? pd_cvb(val(v), kW, &ok) : 0;
      if (!ok) return ii_fail(b, s, kIiErrRuntime);
    }
    rec::view<rec::U32>(p) = uint32_t(out);
  } else {
    if (!to_packed(v)) return ii_fail(b, s, kIiErrRuntime);
    int sc = v.scale;
    uint8_t tmp[8];
    if (!calc_limit(val(v), &sc) || !pd_narrow8(tmp, val(v))) return ii_fail(b, s, kIiErrRuntime);
    std::memcpy(p, tmp, 8);
    p[8] = uint8_t(int8_t(sc));
  }
  return ii_adv(pc, 6);
}

// Convert the top (1) or the entry below it (0) from binary.
uint8_t* inst_alter_elem(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (!has(s, rec::view<IbMath>(pc).arg == 1 ? 1 : 2)) return ii_fail(b, s, kIiErrRuntime);
  uint32_t i = s->calc_count - (rec::view<IbMath>(pc).arg == 1 ? 1 : 2);
  if (!to_packed(ii_calc(s, i))) return ii_fail(b, s, kIiErrRuntime);
  return ii_adv(pc, 6);
}

double calc_fn(int fn, double x, double y) {
  switch (fn) {
    case kFnAcos: return std::fabs(x) > 1 ? NAN : std::acos(x);
    case kFnAsin: return std::fabs(x) > 1 ? NAN : std::asin(x);
    case kFnAtan: return std::atan(x);
    case kFnAtan2: return std::atan2(x, y);
    case kFnCos: return std::cos(x);
    case kFnSin: return std::sin(x);
    case kFnTan: return std::tan(x);
    case kFnCosh: return std::cosh(x);
    case kFnSinh: return std::sinh(x);
    case kFnTanh: return std::tanh(x);
    case kFnExp: return std::exp(x);
    case kFnLog: return x > 0 ? std::log(x) : NAN;
    case kFnLog10: return x > 0 ? std::log10(x) : NAN;
    case kFnMod: return y == 0 ? NAN : std::fmod(x, y);
    case kFnSqrt: return x < 0 ? NAN : std::sqrt(x);
    case kFnCeil: return std::ceil(x);
    case kFnAbs: return std::fabs(x);
    case kFnFloor: return std::floor(x);
    case kFnPow: {
      // Integral exponents by repeated squaring (x^0 is 1, 0^0 too), a
      // negative one on 1/x (0 to a negative power has none); others
      // through the library.
      if (y != std::floor(y) || std::fabs(y) > 1e9) return x == 0 ? (y > 0 ? 0 : NAN) : std::pow(x, y);
      if (x == 0 && y < 0) return NAN;
      double base = y < 0 ? 1 / x : x, r = 1;
      for (uint64_t n = uint64_t(std::fabs(y)); n; n >>= 1) {
        if (n & 1) r *= base;
        base *= base;
      }
      return r;
    }
    default: return NAN;
  }
}

uint8_t* inst_calc_fn(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  int fn = rec::view<IbMath>(pc).arg;
  bool two = fn == kFnMod || fn == kFnPow || fn == kFnAtan2;
  if (!has(s, two ? 2 : 1)) return ii_fail(b, s, kIiErrRuntime);
  IiCalc& top = ii_calc(s, s->calc_count - 1);
  IiCalc& dst = two ? ii_calc(s, s->calc_count - 2) : top;
  double y = to_float(top);
  double x = two ? to_float(dst) : y;
  errno = 0;
  double r = calc_fn(fn, x, y);
  IiCalc out = dst;
  if (errno != 0 || !float_to_oprnd(r, out)) return ii_fail(b, s, kIiErrRuntime);
  dst = out;
  if (two) --s->calc_count;
  return ii_adv(pc, 6);
}

// ------------------------------------------------------ COMPUTE --
// A packed COMPUTE operand, fixed of 1-8 bytes at its scale (0-31) or
// variable of 8 bytes and a scale byte of 0-31 (through the value cache), as
// a 64-bit value and its scale; false for anything else.
[[gnu::always_inline]] inline bool compute_read(const IbComputeOprnd& in, const uint8_t* p, uint64_t pair, int64_t& v,
                                                int& sc) {
  if (in.type == kIiPdVar) return in.len == 9 && ii_vc_get(p, ii_vc_hi(pair), v, sc);
  sc = in.scale;
  return in.type == kIiPdFix && in.len >= 1 && in.len <= 8 && in.scale <= 31 && pacdec::decode64(p, in.len, v);
}

// A value for a binary field of size bytes: within its range?
bool bin_fits(int64_t v, int size, bool uns) {
  if (uns) return v >= 0 && (size == 1 ? v <= 255 : size == 2 ? v <= 65535 : v <= 0xFFFFFFFFll);
  if (v < 0 && g_no_neg_int && size < 4) return false;
  if (size == 1) return v >= -128 && v <= 127;
  if (size == 2) return v >= -32768 && v <= 32767;
  return v >= INT32_MIN && v <= INT32_MAX;
}
void store_bin(uint8_t* p, int size, int64_t v) {
  uint32_t w = uint32_t(v);
  for (int i = 0; i < size; ++i) p[i] = uint8_t(w >> (8 * i));
}

// COMPUTE of two binary fields at one scale by + or - (COMPUTE_OPRND twice,
// BIN_MATH, BIN_EQ): the sum stored by the target's range rules (its
// size's range lies in its word's), as the instructions leave it, or null.
uint8_t* compute_bin(IlfState* s, const IbComputeOprnd& t, const IbComputeOprnd& f, uint8_t* o, uint8_t* e) {
  int op = rec::view<IbMath>(o).arg;
  uint8_t* tp = s->addr[0];
  if ((op != 1 && op != 2) || f.type != kIiBin || t.scale != f.scale || (ii_op(e) | 1) != 723 || !tp || !s->addr[1])
    return nullptr;
  bool uns = !t.is_signed;
  if (t.len == 4 && f.len == 4 && t.is_signed == f.is_signed) {
    // Two words of one signedness: the word's own overflow is the range's.
    uint32_t x = rec::view<rec::U32>(tp), y = rec::view<rec::U32>(s->addr[1]), r;
    int32_t sr;
    bool over = uns ? (op == 1 ? __builtin_add_overflow(x, y, &r) : __builtin_sub_overflow(x, y, &r))
                    : (op == 1 ? __builtin_add_overflow(int32_t(x), int32_t(y), &sr)
                               : __builtin_sub_overflow(int32_t(x), int32_t(y), &sr));
    if (over) return nullptr;
    if (!uns) r = uint32_t(sr);
    if constexpr (rec::kNativeLe) std::memcpy(tp, &r, 4);  // (the field's byte order)
    else store_bin(tp, 4, r);
  } else {
    int64_t a = ii_read_bin(tp, t.len, t.is_signed), b = ii_read_bin(s->addr[1], f.len, f.is_signed);
    int64_t r = op == 1 ? a + b : a - b;  // (within 34 bits)
    int size = t.len == 1 || t.len == 2 ? t.len : 4;
    if (!bin_fits(r, size, uns)) return nullptr;  // (within the word's range too)
    store_bin(tp, size, r);
  }
  s->work[0][0] = uns ? '0' : '1';  // (what COMPUTE_OPRND leaves of a binary target)
  s->addr[2] = s->work[0];
  s->calc_count = 2;
  s->count += 3;  // the instructions it stands for, for the loop's yield
  return ii_adv(e, 6);
}

// (Out of line: the other forms' straight path makes no call. A zero
// quotient is the instructions' to sign.)
[[gnu::noinline]] bool compute_divide(int64_t& a, int& sa, int64_t b, int sb) {
  int64_t q;
  int qs;
  if (!ii_math_divide(a, sa, b, sb, &q, &qs) || q == 0) return false;
  a = q;
  sa = qs;
  return true;
}
// a := a op b (PD_ADD, PD_SUB, PD_MUL, PD_DIV by opcode) on 64-bit values at
// their scales, as the plans compute (plan::apply, operations 1-3); a
// division only with Div; false when the instructions must decide.
template <bool Div>
[[gnu::always_inline]] inline bool compute_op(size_t op, int64_t& a, int& sa, int64_t b, int sb) {
  if (op == 735) return Div && compute_divide(a, sa, b, sb);
  return plan::apply(uint8_t((op - 727) / 2), a, sa, b, sb);  // (729, 731, 733: 1, 2, 3)
}

// COMPUTE of packed operands by +, -, * or / (COMPUTE_OPRND twice, PD_ADD,
// PD_SUB, PD_MUL or PD_DIV, PD_EQ), from the first COMPUTE_OPRND: in 64
// bits (compute_op; a division only with Div), stored by the target's rule,
// leaving the stack's depth as they do; or of binary fields (compute_bin).
// Two fixed operands at the target's scale add on their digits in place
// (add_short is the instructions' sum and store, the target's length
// bounding it). The instruction after the store, or null when these values
// or forms are the instructions' to decide.
template <bool Div>
[[gnu::always_inline]] inline uint8_t* compute_fast(IlfState* s, uint8_t* pc) {
  const auto& t = rec::view<IbComputeOprnd>(pc);
  uint8_t* q = ii_adv(pc, 10);
  if ((ii_op(q) | 1) != 711) return nullptr;
  const auto& f = rec::view<IbComputeOprnd>(q);
  uint8_t* o = ii_adv(q, 10);
  size_t op = ii_op(o) | 1;
  uint8_t* e = ii_adv(o, 6);
  if (op == 721 && t.type == kIiBin && f.which == 2) return compute_bin(s, t, f, o, e);
  if (op < 729 || op > 735 || (ii_op(e) | 1) != 737 || f.which != 2) return nullptr;
  uint8_t *tp = s->addr[0], *fp = s->addr[1];
  if (!tp || !fp) return nullptr;
  const int to = rec::view<IbMath>(e).scale;
  if (op <= 731 && t.type == kIiPdFix && f.type == kIiPdFix && t.scale == f.scale && to == t.scale && to <= 31 &&
      t.len - 1u < 8u && f.len - 1u < 8u) {
    // Magnitudes that add (like sign nibbles for +, unlike for -) add as
    // decimal digit words; the rest as add_short.
    uint64_t wa = pacdec::load_be(tp, t.len), wb = pacdec::load_be(fp, f.len), sa = wa & 0xF, sb = wb & 0xF;
    uint64_t pos = com.pd_pos, neg = com.pd_neg;
    if ((sa == sb) != (op == 731) && (sa == pos || sa == neg) && (sb == pos || sb == neg) &&
        pacdec::digits_ok(wa >> 4) && pacdec::digits_ok(wb >> 4)) {
      uint64_t r = pacdec::bcd_add15(wa >> 4, wb >> 4, 0);
      if (r >> (4 * (2 * t.len - 1))) return nullptr;  // (past the target's digits)
      pacdec::store_be(tp, r << 4 | (r == 0 ? pos : sa), t.len);
    } else if (!(op == 731 ? pacdec::add_short<true, false>(tp, t.len, fp, f.len)
                           : pacdec::add_short<false, false>(tp, t.len, fp, f.len))) {
      return nullptr;
    }
  } else {
    const uint64_t pair = ii_vc_pair();
    int64_t a, b;
    int sa, sb;
    if (!compute_read(t, tp, pair, a, sa) || !compute_read(f, fp, pair, b, sb) || !compute_op<Div>(op, a, sa, b, sb))
      return nullptr;
    uint64_t m = a < 0 ? uint64_t(0) - uint64_t(a) : uint64_t(a);
    if (t.type == kIiPdVar) {
      if (m >= 1000000000000000ULL) return nullptr;
      ii_vc_store(tp, a, sa, pair);
    } else {
      if (!ii_shift64(m, to - sa) || m >= uint64_t(pacdec::limit(t.len))) return nullptr;
      pacdec::encode64(tp, t.len, a < 0 ? -int64_t(m) : int64_t(m));
    }
  }
  s->calc_count = 2;
  s->count += 3;  // the instructions it stands for, for the loop's yield
  return ii_adv(e, 6);
}

// COMPUTE_OPRND: the target (which 1: register 1) or source operand as
// calculation stack entry 1 or 2 (a binary target's signedness also in
// work value 1, register 3 at it); the first one runs the statement by
// compute_fast where it can (a division out of line, so that the others'
// straight path makes no call).
// The commonest COMPUTE, a total: two variable packed operands by + or -,
// from the first COMPUTE_OPRND, as compute_fast computes it, in a straight
// path that needs few registers and makes no call (null for anything else).
[[gnu::always_inline]] inline uint8_t* compute_var_add(IlfState* s, uint8_t* pc) {
  const auto& t = rec::view<IbComputeOprnd>(pc);
  uint8_t* q = ii_adv(pc, 10);
  const auto& f = rec::view<IbComputeOprnd>(q);
  uint8_t* o = ii_adv(q, 10);
  uint8_t* e = ii_adv(o, 6);
  size_t op = ii_op(o) | 1;
  uint8_t *tp = s->addr[0], *fp = s->addr[1];
  if (t.which != 1 || ii_slow(s) || (ii_op(q) | 1) != 711 || f.which != 2 || t.type != kIiPdVar || t.len != 9 ||
      f.type != kIiPdVar || f.len != 9 || (op != 729 && op != 731) || (ii_op(e) | 1) != 737 || !tp || !fp)
    return nullptr;
  const uint64_t hi = ii_vc_hi(ii_vc_pair());
  int64_t a, b;
  int sa, sb;
  if (!ii_vc_get(tp, hi, a, sa) || !ii_vc_get(fp, hi, b, sb) || !compute_op<false>(op, a, sa, b, sb)) return nullptr;
  if ((a < 0 ? uint64_t(0) - uint64_t(a) : uint64_t(a)) >= 1000000000000000ULL) return nullptr;
  ii_vc_store(tp, a, sa, ii_vc_pair());
  s->calc_count = 2;
  s->count += 3;  // the instructions it stands for, for the loop's yield
  return ii_adv(e, 6);
}
uint8_t* compute_oprnd(IlfExecBlock* b, IlfState* s, uint8_t* pc);
}  // namespace
uint8_t* ii_compute_oprnd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (rec::view<IbComputeOprnd>(pc).type != kIiPdVar) return compute_oprnd(b, s, pc);  // (straight on)
  if (uint8_t* next = compute_var_add(s, pc)) [[likely]]
    return ii_next(b, s, next);
  return compute_oprnd(b, s, pc);
}
namespace {
[[gnu::noinline]] uint8_t* compute_oprnd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbComputeOprnd>(pc);
  if (in.which == 1 && !ii_slow(s)) {
    if (uint8_t* next = compute_fast<false>(s, pc)) return ii_next(b, s, next);
    if ((ii_op(ii_adv(ii_adv(pc, 10), 10)) | 1) == 735)  // (PD_DIV)
      if (uint8_t* next = compute_fast<true>(s, pc)) return ii_next(b, s, next);
  }
  int which = in.which == 1 ? 0 : 1;
  s->calc_count = 2;
  IiCalc& e = ii_calc(s, uint32_t(which));
  uint8_t* p = s->addr[which];
  e.set_addr(p);
  e.type = in.type;
  e.scale = in.scale;
  e.size = in.len;
  e.uns = in.is_signed ? 0 : 1;
  e.room = in.type == kIiBin ? (in.len == 1 || in.len == 2 ? in.len : 4) : in.len;
  if (e.type == kIiBin) {
    bool sg = in.is_signed;
    set_word(e, uint32_t(ii_read_bin(p, in.len, sg)));
    if (which == 0) {
      s->work[0][0] = sg ? '1' : '0';
      s->addr[2] = s->work[0];
    }
  } else if (e.type == kIiPdVar) {
    load_packed(e, p, in.len - 1, int8_t(p[in.len - 1]));
  } else {
    load_packed(e, p, in.len, in.scale);
  }
  return ii_adv(pc, 10);
}

// An alpha source's digits as a positive packed integer in scratch value 2.
uint8_t* inst_cnv_src(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  const uint8_t* t = s->addr[1];
  int n = std::min<int>(rec::view<IbMath>(pc).arg, 32);
  char digits[33];
  int nd = 0;
  bool seen = false;
  for (int i = 0; i < n; ++i) {
    char c = char(t[i]);
    if (c >= '0' && c <= '9') {
      digits[nd++] = c;
      seen = true;
    } else if (!seen) {
      digits[nd++] = '0';
    } else {
      break;
    }
  }
  // 32 digits do not fit 31: the lowest 31 are kept (hash totals keep low digits).
  int from = nd > 31 ? nd - 31 : 0;
  PdCva cva{s->work[1], kW, 0};
  if (nd == from || !pd_cva(digits + from, nd - from, '.', &cva)) pd_cvp(s->work[1], kW, 0);
  s->addr[1] = s->work[1];
  return ii_adv(pc, 6);
}

uint8_t* inst_bin_math(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  IiCalc& t = ii_calc(s, 0);
  IiCalc& r = ii_calc(s, 1);
  int op = rec::view<IbMath>(pc).arg;
  int32_t x = word(t);
  if (op == kBinDiv && word(r) == 0) return ii_fail(b, s, kIiErrRuntime);
  if (!bin_math(&x, word(r), op, r.scale, r.uns ? kBinUnsigned : 0, t.scale, t.uns ? kBinUnsigned : 0))
    return ii_fail(b, s, kIiErrRuntime);
  set_word(t, uint32_t(x));
  return ii_adv(pc, 6);
}

uint8_t* pd_op(IlfExecBlock* b, IlfState* s, uint8_t* pc, int op) {
  IiCalc& t = ii_calc(s, 0);
  IiCalc r = ii_calc(s, 1);
  IiCalc out = t;
  bool ok;
  switch (op) {
    case 1: ok = align(out, r) && pd_add(val(out), kW, val(r), kW); break;
    case 2: ok = align(out, r) && pd_sub(val(out), kW, val(r), kW); break;
    case 3: ok = common_pd_mul(out, r); break;
    default: ok = pd_divide(out, r); break;
  }
  if (!ok) return ii_fail(b, s, kIiErrRuntime);
  t = out;
  return ii_adv(pc, 6);
}
uint8_t* inst_pd_add(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return pd_op(b, s, pc, 1); }
uint8_t* inst_pd_sub(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return pd_op(b, s, pc, 2); }
uint8_t* inst_pd_mul(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return pd_op(b, s, pc, 3); }
uint8_t* inst_pd_div(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return pd_op(b, s, pc, 4); }

// Hash totals: the sum at the target's scale, all but its lowest n digits
// cleared (the overflow is lost, the total wraps around).
uint8_t* pd_hash(IlfExecBlock* b, IlfState* s, uint8_t* pc, bool sub) {
  auto& in = rec::view<IbMath>(pc);
  IiCalc out = ii_calc(s, 0);
  IiCalc r = ii_calc(s, 1);
  bool ok = align(out, r) && (sub ? pd_sub(val(out), kW, val(r), kW) : pd_add(val(out), kW, val(r), kW));
  if (ok && out.scale > in.scale) {
    ok = pd_shft(val(out), kW, int(in.scale) - int(out.scale));
    out.scale = in.scale;
  }
  int n = in.arg;
  if (ok && n < 31) {
    uint8_t hi[kW];
    std::memcpy(hi, val(out), kW);
    ok = pd_shftn(hi, kW, -n) && pd_shft(hi, kW, n) && pd_sub(val(out), kW, hi, kW);
  }
  if (!ok) return ii_fail(b, s, kIiErrRuntime);
  ii_calc(s, 0) = out;
  return ii_adv(pc, 6);
}
uint8_t* inst_pd_hash_add(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return pd_hash(b, s, pc, false); }
uint8_t* inst_pd_hash_sub(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return pd_hash(b, s, pc, true); }

// Store a packed result into the packed target.
uint8_t* inst_pd_eq(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  IiCalc v = ii_calc(s, 0);
  uint8_t* p = v.addr();
  int size = v.size;
  if (size > v.room || size > (v.type == kIiPdVar ? kW + 1 : kW)) return ii_fail(b, s, kIiErrRuntime);
  if (v.type == kIiPdVar) {
    uint8_t sc = v.scale;
    uint8_t tmp[kW];
    if (!limit_digits(val(v), &sc) || size < 2 || !pd_set(tmp, size - 1, val(v), kW))
      return ii_fail(b, s, kIiErrRuntime);
    std::memcpy(p, tmp, size_t(size - 1));
    p[size - 1] = sc;
  } else {
    int to = rec::view<IbMath>(pc).scale;
    uint8_t tmp[kW];
    if (!pd_shft(val(v), kW, to - int(v.scale)) || !pd_set(tmp, size, val(v), kW))
      return ii_fail(b, s, kIiErrRuntime);
    std::memcpy(p, tmp, size_t(size));
  }
  return ii_adv(pc, 6);
}

uint8_t* inst_bin_eq(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  IiCalc& t = ii_calc(s, 0);
  int64_t v = t.uns ? int64_t(uint32_t(word(t))) : int64_t(word(t));
  int size = t.size == 1 || t.size == 2 ? t.size : 4;
  if (size > t.room || !bin_fits(v, size, t.uns)) return ii_fail(b, s, kIiErrRuntime);
  store_bin(t.addr(), size, v);
  return ii_adv(pc, 6);
}

uint8_t* inst_bin_pd_eq(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  IiCalc v = ii_calc(s, 0);
  if (v.type == kIiBin) return inst_bin_eq(b, s, pc);
  int to = rec::view<IbMath>(pc).scale;
  bool ok = pd_shft(val(v), kW, to - int(v.scale));
  int64_t x = ok ? pd_cvb64(val(v), kW, &ok) : 0;
  int size = v.size == 1 || v.size == 2 ? v.size : 4;
  if (!ok || size > v.room || !bin_fits(x, size, v.uns)) return ii_fail(b, s, kIiErrRuntime);
  store_bin(v.addr(), size, x);
  return ii_adv(pc, 6);
}

}  // namespace

void ii_math_set_switches(bool old_pd_mul, bool no_neg_int) {
  g_old_mul = old_pd_mul;
  g_no_neg_int = no_neg_int;
}

uint64_t ii_math_plan_runs() { return plan::g_runs; }

bool ii_math_old_mul() { return g_old_mul; }

bool ii_math_divide_general(int64_t a, int as, int64_t b, int bs, int64_t* q, int* qs) {
  if (as < 0 || as > 31 || bs < 0 || bs > 31) return false;
  u128 am = a < 0 ? u128(0) - u128(a) : u128(a);
  bool an = a < 0;
  if (!bin_divide(am, an, as, b < 0 ? u128(0) - u128(b) : u128(b), b < 0, bs)) return false;
  *q = an ? -int64_t(am) : int64_t(am);  // (below 10^17)
  *qs = as;
  return true;
}

int ii_math_plan_view(uint8_t* pc, IiPlanView* out) {
  if ((rec::view<IbInst>(pc).op.get() | 1) != 701) return -1;
  uint16_t no = plan::plan_no(pc);
  if (no != 0 && no != plan::kNone && plan::g_plans[no - 1u].at != plan::off(pc)) no = 0;
  if (no == 0) {
    no = plan::build(pc);
    plan::set_plan_no(pc, no);
    if (no == 0) return 0;
  }
  if (no == plan::kNone) return -1;
  const plan::Plan& pl = plan::g_plans[no - 1u];
  static_assert(sizeof(IiPlanView::step) / sizeof(IiPlanStep) >= size_t(plan::kMaxSteps));
  for (int i = 0; i < pl.n; ++i) {
    const plan::Step& x = pl.step[i];
    out->step[i] = IiPlanStep{x.kind, x.arg, x.is_cnst, x.off};
  }
  out->n = pl.n;
  out->next = pl.next;
  out->insts = pl.insts;
  return 1;
}

void ii_math_init() {
  g_old_mul = std::getenv("QUVO_OLD_PD_MUL") != nullptr;
  g_no_neg_int = std::getenv("QUVO_NO_NEG_INT") != nullptr;
  ii_set_pair(700, inst_reset_calc_stack);
  ii_set_link_find(700, reset_link);
  ii_set_link_find(701, reset_link);
  ii_set_pair(702, inst_calc_oprnd);
  ii_set_pair(704, inst_calc_2_ops);
  ii_set_pair(706, inst_calc_neg);
  ii_set_pair(708, inst_calc_eq);
  ii_set_pair(710, ii_compute_oprnd);
  ii_set_pair(712, inst_calc_fn);
  ii_set_pair(714, inst_alter_elem);
  ii_set_pair(720, inst_bin_math);
  ii_set_pair(722, inst_bin_eq);
  ii_set_pair(724, inst_pd_hash_add);
  ii_set_pair(726, inst_pd_hash_sub);
  ii_set_pair(728, inst_pd_add);
  ii_set_pair(730, inst_pd_sub);
  ii_set_pair(732, inst_pd_mul);
  ii_set_pair(734, inst_pd_div);
  ii_set_pair(736, inst_pd_eq);
  ii_set_pair(738, inst_cnv_src);
  ii_set_pair(740, inst_bin_pd_eq);
}
