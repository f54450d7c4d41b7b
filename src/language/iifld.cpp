// Field statements at run time (ibfld.h gives the rules and layouts): the
// packed compare-expansions and UNXPND, APPEND, SET TEMP, token texts and
// the settings between binary and packed values.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/pd.h"
#include "foundation/ut.h"
#include "language/ibfld.h"
#include "language/ibtst.h"
#include "language/iifld.h"
#include "language/iiutil.h"

namespace {

using ii_cmp::put_work;

uint8_t* set(IlfState* s, uint8_t* pc, int v, uint32_t shift, size_t len) {
  s->mask = ii_set_tf(s->mask, uint32_t(v), shift);
  return ii_adv(pc, len);
}

// ---------------------------------------------- compare-expansions --
// Both operands into 16-byte work values at one scale; r1, r2 address
// them, length registers 1 and 2 hold 16. (A variable's scale may be below
// 0: the other operand is then shifted up by the difference as well.)
// A value of at most 15 digits (big-endian word: digits, then the sign
// nibble) times 10^n, as the shift of the general path writes it: false
// when it would not stay within 15 digits or is not a valid number.
bool shift15(uint64_t& w, int n) {
  uint64_t d = w >> 4, sg = w & 0xF;
  if (n > 14 || !pacdec::digits_ok(d) || (sg != com.pd_pos && sg != com.pd_neg) || (d >> (60 - 4 * n)) != 0)
    return false;
  w = d << (4 * n + 4) | (d == 0 ? uint64_t(com.pd_pos) : sg);  // a zero is written positive
  return true;
}

// Two valid values too far apart in scale for the aligning shift to hold
// both in 31 digits (15 digits at scale 0 against a value at scale 31, say)
// still compare: the one of fewer decimals, shifted, would pass 31 digits
// where the other holds at most 31, so it is the larger in magnitude and
// its sign decides. Their work values become what compares as they do:
// -1 or 1, and zero. False for an invalid value.
bool compare_apart(uint8_t* w1, int sc1, uint8_t* w2, int sc2) {
  pacdec::u128 m1, m2;
  bool n1, n2;
  if (!pacdec::decode(w1, 16, m1, n1) || !pacdec::decode(w2, 16, m2, n2)) return false;
  bool first = sc1 < sc2;  // the larger is the first
  if ((first ? m1 : m2) == 0) return false;  // (a zero always aligns)
  bool neg = first ? n1 : !n2;  // the first below the second
  pacdec::encode(w1, 16, 1, neg);
  pacdec::encode(w2, 16, 0, false);
  return true;
}

[[gnu::noinline]] uint8_t* xpnd_any(IlfExecBlock* b, IlfState* s, uint8_t* pc, int l1, int sc1, int l2, int sc2,
                                     size_t len) {
  uint64_t x = 0, y = 0;
  bool small = (l1 >= 1) & (l1 <= 8) & (l2 >= 1) & (l2 <= 8) & (sc1 >= 0) & (sc2 >= 0);
  bool in_range = sc1 <= kIiMaxScale && sc2 <= kIiMaxScale;
  // (A scale byte past 31 is a damaged value: refused below, as every
  // reader of a packed value refuses it.)
  if (small && in_range &&
      (sc1 == sc2 || (sc1 < sc2 ? shift15(x = pacdec::load_be(s->addr[0], l1), sc2 - sc1)
                                : shift15(y = pacdec::load_be(s->addr[1], l2), sc1 - sc2)))) {
    // The common case, two values of up to 8 bytes that need no more than
    // 8 bytes at their common scale: each in the last half of its work
    // value. When the IF_PD that compares them follows, it runs from here
    // (not while the loop looks at every instruction).
    if (sc1 >= sc2) x = pacdec::load_be(s->addr[0], l1);
    if (sc2 >= sc1) y = pacdec::load_be(s->addr[1], l2);
    put_work(s, x, y);
    uint8_t* next = ii_adv(pc, len);
    if ((rec::view<IbInst>(next).op.get() | 1) != 511 || ii_slow(s)) return next;
    s->pc = next;
    ++s->count;  // the instruction it stands for, for the loop's yield
    int c = pacdec::cmp_words(x, y);  // what IF_PD compares: the two values' last halves
    if (c == kPdCmpInvalid) return ii_fail(b, s, kIiErrRuntime);
    return ii_after_test(b, s, set(s, next, ii_rel(c, rec::view<IbIf2>(next).rel), rec::view<IbIf2>(next).shift, 16));
  }
  uint8_t w1[16], w2[16];
  auto scale_ok = [](int sc) { return sc >= kIiMinScale && sc <= kIiMaxScale; };
  bool ok = scale_ok(sc1) && scale_ok(sc2) && l1 >= 1 && l1 <= 16 && l2 >= 1 && l2 <= 16;
  if (ok) {  // (an invalid value fails in the comparison or the store that uses it)
    pd_widen(w1, s->addr[0], l1);
    pd_widen(w2, s->addr[1], l2);
  }
  if (ok && sc1 != sc2) {
    uint8_t keep[16];
    uint8_t* up = sc1 < sc2 ? w1 : w2;
    std::memcpy(keep, up, 16);
    if (!pd_shft(up, 16, std::abs(sc2 - sc1))) {
      // Only for the IF_PD that compares them at once: any other use of
      // the work values (UNXPND) needs the aligned value itself.
      std::memcpy(up, keep, 16);
      ok = (rec::view<IbInst>(ii_adv(pc, len)).op.get() | 1) == 511 && compare_apart(w1, sc1, w2, sc2);
    }
  }
  if (!ok) return ii_fail(b, s, kIiErrRuntime);
  std::memcpy(s->work[0], w1, 16);
  std::memcpy(s->work[1], w2, 16);
  s->addr[0] = s->work[0];
  s->addr[1] = s->work[1];
  s->len[0] = s->len[1] = 16;
  return ii_adv(pc, len);
}
// The common case in line: two values of up to 8 bytes at one scale (what
// xpnd_any does first, without its frame).
[[gnu::always_inline]] inline uint8_t* xpnd(IlfExecBlock* b, IlfState* s, uint8_t* pc, int l1, int sc1, int l2,
                                            int sc2, size_t len) {
  if (sc1 != sc2 || unsigned(l1 - 1) > 7u || unsigned(l2 - 1) > 7u || unsigned(sc1) > unsigned(kIiMaxScale))
    [[unlikely]]
    return xpnd_any(b, s, pc, l1, sc1, l2, sc2, len);
  uint64_t x = pacdec::load_be(s->addr[0], l1), y = pacdec::load_be(s->addr[1], l2);
  put_work(s, x, y);
  uint8_t* next = ii_adv(pc, len);
  if ((rec::view<IbInst>(next).op.get() | 1) != 511 || ii_slow(s)) return ii_next(b, s, next);
  s->pc = next;
  ++s->count;  // the instruction it stands for, for the loop's yield
  int c = pacdec::cmp_words(x, y);  // what IF_PD compares: the two values' last halves
  if (c == kPdCmpInvalid) [[unlikely]]
    return ii_fail(b, s, kIiErrRuntime);
  return ii_after_test(b, s, set(s, next, ii_rel(c, rec::view<IbIf2>(next).rel), rec::view<IbIf2>(next).shift, 16));
}
uint8_t* inst_xpnd_fix_fix(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbXpndFixFix>(pc);
  return xpnd(b, s, pc, in.len1, in.scale1, in.len2, in.scale2, 10);
}
uint8_t* inst_xpnd_var_var(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbXpndVarVar>(pc);
  int l1 = in.len1, l2 = in.len2;
  return xpnd(b, s, pc, l1, int8_t(s->addr[0][l1]), l2, int8_t(s->addr[1][l2]), 8);
}
uint8_t* inst_xpnd_var_fix(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbXpndMixed>(pc);
  int lv = in.var_len;
  return xpnd(b, s, pc, lv, int8_t(s->addr[0][lv]), in.fix_len, in.fix_scale, 10);
}
uint8_t* inst_xpnd_fix_var(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbXpndMixed>(pc);
  int lv = in.var_len;
  return xpnd(b, s, pc, in.fix_len, in.fix_scale, lv, int8_t(s->addr[1][lv]), 10);
}
// ------------------------------------------------ compiled compares --
// IF, AND and OR of two numbers, dates or texts whose registers are loaded
// by IRA_1 and CNST_2 (or IRA_2) run, from their second run on, as one
// step: IRA_1 finds the statement's plan and jumps to its run, which reads
// both operands once and leaves what the instructions leave (the registers,
// the work values and their lengths, the truth mask, the instructions
// started), then goes on as the test would (a TFC after it runs from there
// too). The forms it takes: [CHK_TF] COMP_XPND_* IF_PD with two values of
// up to 8 bytes that need no more than 8 bytes at their common scale,
// [CHK_TF] IF_DAT, and [CHK_TF] IF_STR_EQ [IF_STR_REST] (the first
// comparison left in work value 1). Anything it does not decide (an
// invalid value, scales that do not align in 15 digits, a missing data
// area, an AND on an unset level, a date that does not convert, the trace
// or the debugger) runs the instructions from IRA_1 as if there were no
// plan, which gives the error.
//
// The plan is built once the second load and a CHK_TF are relocated. Its
// number lives in byte 3 of the second load (1-254, 255 when the statement
// has none; cleared when that load is relocated) and byte 3 of the
// instruction after it, which no one else writes; the plan remembers
// IRA_1's address, so a number given again to another statement (the plans
// are kMaxPlans at most, numbers reused in turn) makes the first one build
// again.
namespace cmp_plan {

// A plan's run from the IRA_1 at pc: the instruction to go on at.
using Runner = IiRun;
enum : uint8_t { kVarVar, kVarFix, kFixVar, kFixFix, kDat, kStr };
using ii_cmp::Plan;
using ii_cmp::g_runs;
using ii_cmp::tested;
constexpr uint32_t kMaxPlans = 254 * 256;
IiPlans<Plan> g_plans;
uint32_t g_nplans = 0;  // g_plans.size(), one load away
uint32_t g_next = 0;  // the number to give again once all are taken
uint64_t g_builds = 0;

uint32_t off(const uint8_t* p) { return uint32_t(p - ii_arena); }
uint16_t op_of(const uint8_t* p) { return rec::view<IbInst>(const_cast<uint8_t*>(p)).op; }

// The plan number at the IRA_1 at pc (0 none yet, kRefused none ever).
constexpr uint32_t kRefused = 0xFFFFFFFF;
inline uint32_t plan_no(const uint8_t* pc) {
  uint8_t lo = pc[11];
  if (lo == 0) return 0;
  if (lo == 255) return kRefused;
  return uint32_t(lo) + 254u * pc[19];
}
// The compiled compare the IRA_1 at pc names while it is still that
// statement's, else null.
[[gnu::always_inline]] inline const Plan* plan_at(const uint8_t* pc) {
  uint32_t lo = pc[11], no = lo + 254u * pc[19];  // (plan_no, when lo is 1-254)
  if (lo - 1u >= 254u || no - 1 >= g_nplans) return nullptr;
  const Plan& pl = g_plans[no - 1];
  return pl.at == off(pc) ? &pl : nullptr;
}
void set_plan_no(uint8_t* pc, uint32_t no) {
  if (no == kRefused) {
    pc[11] = 255;
    return;
  }
  pc[11] = uint8_t((no - 1) % 254 + 1);
  pc[19] = uint8_t((no - 1) / 254);
}

[[gnu::noinline]] uint8_t* ira_1(IlfExecBlock* b, IlfState* s, uint8_t* pc);

// A packed operand's value: its bytes as a big-endian word (what the
// compare-expansion puts in the last half of its work value).
[[gnu::always_inline]] inline uint64_t read_value(const uint8_t* p, int len) { return pacdec::load_be(p, len); }

// CHK_TF before the comparison: 1 on to it, 0 past it (registers 1 and 2
// at the operands, as the loads leave them), -1 for the AND's error.
[[gnu::always_inline]] inline int chk(IlfState* s, const Plan& pl, uint8_t* a, uint8_t* y) {
  auto& in = rec::view<IbChkTf>(ii_arena + pl.chk);
  uint32_t shift = in.shift;
  if (shift < 2 || shift > 10) return 1;
  uint32_t v = (s->mask >> (shift - 2)) & 3;
  if (in.is_or ? v != 1 : v == 1) return 1;
  if (!in.is_or && v != 2) return -1;
  s->addr[0] = a;
  s->addr[1] = y;
  s->count += 2;  // the second load and CHK_TF
  return 0;
}

template <uint8_t Form, bool Tfc>
uint8_t* runner(IlfExecBlock* b, IlfState* s, uint8_t* pc, const IiPlanHead& h) {
  const Plan& pl = static_cast<const Plan&>(h);
  uint8_t* a = ii_ref(ii_arena + pl.word);
  uint8_t* y = pl.cnst ? ii_arena + pl.second : ii_ref(ii_arena + pl.second);
  if (!a || !y) [[unlikely]]
    return ira_1(b, s, pc);
  if (pl.chk) [[unlikely]] {
    int go = chk(s, pl, a, y);
    if (go < 0) return ira_1(b, s, pc);
    if (go == 0) return ii_next(b, s, ii_at(ii_arena + pl.chk + 4));
  }
  int c;
  if constexpr (Form == kStr) {
    // IF_STR_EQ: its comparison in the first word of work value 1 and its
    // mask; IF_STR_REST then looks at the longer text's rest.
    int m = std::memcmp(a, y, pl.len);
    c = (m > 0) - (m < 0);
    rec::view<rec::U32>(s->work[0]) = uint32_t(c);
    s->addr[0] = a;
    s->addr[1] = y;
    if (pl.rest) {
      s->mask = (s->mask & pl.keep_eq) | pl.set_eq[c + 1];
      if (c == 0) c = (pl.longer == 1 ? 1 : -1) * ii_rest_vs_blanks((pl.longer == 1 ? a : y) + pl.shorter, pl.diff);
    }
  } else if constexpr (Form == kDat) {
    // A constant CCYYMMDD date still the one the plan read (its key then)
    // against another such date: their keys compare; anything else as the
    // instruction compares.
    uint64_t ka, ry = 0;
    if (pl.date_key) std::memcpy(&ry, y, 8);  // (8 bytes: what the plan read there)
    if (pl.date_key && ry == pl.k.raw && ii_date_key8(rec::view<IbIfDat>(ii_arena + pl.test).d1, a, &ka))
      c = ka < pl.k.w[0] ? -1 : ka > pl.k.w[0];
    else
      c = ii_if_dat_compare(ii_arena + pl.test, a, y);
    if (c == kIiBadDate) [[unlikely]]
      return ira_1(b, s, pc);
    s->addr[0] = a;
    s->addr[1] = y;
  } else {
    constexpr bool v1 = Form == kVarVar || Form == kVarFix, v2 = Form == kVarVar || Form == kFixVar;
    int sc1 = v1 ? int8_t(a[pl.l1]) : pl.sc1, sc2 = v2 ? int8_t(y[pl.l2]) : pl.sc2;
    uint64_t x = read_value(a, pl.l1), z = read_value(y, pl.l2);
    if (sc1 != sc2) [[unlikely]] {
      if (unsigned(sc1) > unsigned(kIiMaxScale) || unsigned(sc2) > unsigned(kIiMaxScale) ||
          !shift15(sc1 < sc2 ? x : z, std::abs(sc2 - sc1)))
        return ira_1(b, s, pc);
    } else if (unsigned(sc1) > unsigned(kIiMaxScale)) [[unlikely]] {
      return ira_1(b, s, pc);
    }
    c = pacdec::cmp_words(x, z);
    if (c == kPdCmpInvalid) [[unlikely]]
      return ira_1(b, s, pc);
    put_work(s, x, z);
  }
  return tested<Tfc>(b, s, pl, c);
}

// The form with a constant decoded when the plan was built, while its bytes
// and the sign nibbles are still those: a variable first operand read
// through the value cache, or a fixed one read here; anything else as
// runner.
// FixK: a fixed first operand against a fixed constant (its l2 bytes, as
// their big-endian word, at the fixed scale sc2).
template <bool V1, bool Tfc, bool FixK = false>
uint8_t* runner_k(IlfExecBlock* b, IlfState* s, uint8_t* pc, const IiPlanHead& h) {
  const Plan& pl = static_cast<const Plan&>(h);
  constexpr uint8_t kForm = V1 ? kVarVar : FixK ? kFixFix : kFixVar;
  uint8_t* a = ii_ref(ii_arena + pl.word);
  uint8_t* y = ii_arena + pl.second;
  uint64_t ry, pair = ii_vc_pair();
  if constexpr (FixK) ry = read_value(y, pl.l2);
  else std::memcpy(&ry, y, 8);
  if (!a) [[unlikely]]
    return ira_1(b, s, pc);
  if (pl.chk) {  // (going on to the comparison leaves nothing for runner to see)
    int go = chk(s, pl, a, y);
    if (go < 0) return ira_1(b, s, pc);
    if (go == 0) return ii_next(b, s, ii_at(ii_arena + pl.chk + 4));
  }
  if (ry != pl.k.raw || (!FixK && y[8] != pl.k.sc[0]) || pair != pl.k.pair) [[unlikely]]
    return runner<kForm, Tfc>(b, s, pc, pl);
  if constexpr (V1) {
    int64_t va;
    int sa;
    if (!ii_vc_get(a, ii_vc_hi(pair), va, sa)) [[unlikely]]  // (no call)
      return runner<kForm, Tfc>(b, s, pc, pl);
    int i = sa == pl.k.sc[0] ? 0 : sa == pl.k.sc[1] ? 1 : -1;
    if (i < 0) [[unlikely]]
      return runner<kForm, Tfc>(b, s, pc, pl);
    return ii_cmp::run_stored<Tfc>(b, s, pl, a, va, i);
  } else {
    uint64_t x = read_value(a, pl.l1);
    uint64_t d = x >> 4, sg = x & 0xF;
    int i = pl.sc1 == pl.k.sc[0] ? 0 : 1;
    if (!pacdec::digits_ok(d) || (sg != (pair & 0xFF) && sg != pair >> 8)) [[unlikely]]
      return ira_1(b, s, pc);
    int64_t xn = sg == pair >> 8 ? -int64_t(d) : int64_t(d);
    put_work(s, x, pl.k.w[i]);
    return tested<Tfc>(b, s, pl, (xn > pl.k.n[i]) - (xn < pl.k.n[i]));
  }
}

// The constant of pl (8 bytes at the second operand, or with fix its l2
// bytes at the fixed scale sc2) decoded for runner_k with a first operand
// at scale sc: false when it does not serve.
bool decode_konst(Plan& pl, int sc, bool fix = false) {
  const uint8_t* y = ii_arena + pl.second;
  const int len = fix ? pl.l2 : 8;
  uint64_t pair = ii_vc_pair(), w = pacdec::load_be(y, len), d = w >> 4, sg = w & 0xF;
  int csc = fix ? pl.sc2 : y[8];
  if (csc > kIiMaxScale || sc < csc || sc > kIiMaxScale || !pacdec::digits_ok(d) ||
      (sg != (pair & 0xFF) && sg != pair >> 8))
    return false;
  Plan::Konst& k = pl.k;
  if (fix) k.raw = w;
  else std::memcpy(&k.raw, y, 8);
  k.pair = pair;
  k.sc[0] = csc;
  k.w[0] = w;
  if (sc != csc) {
    k.sc[1] = sc;
    k.w[1] = w;
    if (!shift15(k.w[1], sc - csc)) return false;
  } else {
    k.w[1] = w;
  }
  for (int i = 0; i < 2; ++i) {
    uint64_t di = k.w[i] >> 4;
    bool neg = (k.w[i] & 0xF) == pair >> 8;
    k.n[i] = neg ? -int64_t(di) : int64_t(di);
    k.v[i] = neg ? -int64_t(pacdec::bcd_to_bin(di)) : int64_t(pacdec::bcd_to_bin(di));
  }
  return true;
}

// The mask as ii_set_tf sets it for each outcome of a test at (shift, rel):
// the bits kept and those set; false when it does not part so.
bool masks(uint32_t shift, int rel, uint32_t* keep, uint32_t set[3]) {
  *keep = shift >= 2 && shift <= 10 ? ~((1u << shift) - 1) & 0x3FF : ~0u;
  for (int c = -1; c <= 1; ++c) {
    uint32_t v = uint32_t(ii_rel(c, rel));
    set[c + 1] = ii_set_tf(0, v, shift);
    if (ii_set_tf(0x3FF, v, shift) != ((0x3FF & *keep) | set[c + 1])) return false;
  }
  return true;
}

// The plan of the statement at pc (IRA_1, the second load relocated);
// 0 while a CHK_TF after them is still to be relocated.
uint32_t build(uint8_t* pc) {
  ++g_builds;
  Plan pl;
  pl.at = off(pc);
  pl.word = rec::view<rec::U32>(pc + 4).get();
  pl.cnst = op_of(pc + 8) == 55;
  pl.second = rec::view<rec::U32>(pc + 12).get();
  if (pl.second == 0) return kRefused;
  uint8_t* p = pc + 16;
  int insts = 2;
  if ((op_of(p) & ~1u) == 500) {
    if (op_of(p) == 500) return 0;
    pl.chk = off(p);
    p = ii_adv(p, 16);
    ++insts;
  }
  uint16_t op = op_of(p) | 1;
  uint8_t form;
  uint8_t* t = p;
  uint32_t shift;
  int rel;
  if (op == 517) {
    form = kDat;
    auto& in = rec::view<IbIfDat>(p);
    const uint8_t* y = ii_arena + pl.second;
    pl.date_key = pl.cnst && ii_date_key8(in.d2, y, &pl.k.w[0]);
    if (pl.date_key) std::memcpy(&pl.k.raw, y, 8);
    rel = in.rel;
    shift = in.shift;
    pl.next = off(ii_adv(p, sizeof(IbIfDat) + in.masks_len.get()));
    pl.insts = uint8_t(insts + 1);
  } else if (op == 505) {  // IF_STR_EQ, and IF_STR_REST when the texts' lengths differ
    form = kStr;
    auto& eq = rec::view<IbIfCmp>(p);
    pl.len = eq.len;
    rel = eq.rel;
    shift = eq.shift;
    uint8_t* q = ii_adv(p, 12);
    pl.next = off(q);
    pl.insts = uint8_t(insts + 1);
    if ((op_of(q) | 1) == 507) {
      if (!masks(shift, rel, &pl.keep_eq, pl.set_eq)) return kRefused;
      auto& r = rec::view<IbIfRest>(q);
      pl.rest = true;
      pl.longer = r.longer;
      pl.shorter = r.shorter;
      pl.diff = r.diff;
      rel = r.rel;
      shift = r.shift;
      t = q;
      pl.next = off(ii_adv(q, 16));
      pl.insts = uint8_t(insts + 2);
    }
  } else {
    size_t len = 10;
    int l1 = 0, l2 = 0;
    if (op == 279) {
      auto& in = rec::view<IbXpndVarVar>(p);
      l1 = in.len1, l2 = in.len2, form = kVarVar, len = 8;
    } else if (op == 277 || op == 273) {
      auto& in = rec::view<IbXpndMixed>(p);
      bool first = op == 277;  // the first operand the variable one
      (first ? l1 : l2) = in.var_len;
      (first ? l2 : l1) = in.fix_len;
      (first ? pl.sc2 : pl.sc1) = in.fix_scale;
      form = first ? kVarFix : kFixVar;
    } else if (op == 423) {
      auto& in = rec::view<IbXpndFixFix>(p);
      l1 = in.len1, l2 = in.len2, pl.sc1 = in.scale1, pl.sc2 = in.scale2, form = kFixFix;
    } else {
      return kRefused;
    }
    if (l1 < 1 || l1 > 8 || l2 < 1 || l2 > 8) return kRefused;
    pl.l1 = uint8_t(l1), pl.l2 = uint8_t(l2);
    t = ii_adv(p, len);
    if ((op_of(t) | 1) != 511) return kRefused;
    auto& in = rec::view<IbIf2>(t);
    rel = in.rel;
    shift = in.shift;
    pl.next = off(ii_adv(t, 16));
    pl.insts = uint8_t(insts + 2);
  }
  pl.test = off(t);
  if (!masks(shift, rel, &pl.keep, pl.set)) return kRefused;
  uint8_t* n = ii_arena + pl.next;
  if (ii_op(n) == 81) {
    pl.tfc = true;
    pl.cond = rec::view<IbTfc>(n).cond;
    pl.to = off(ii_at(n + 4));
  }
  static constexpr Runner kRun[6][2] = {{runner<kVarVar, false>, runner<kVarVar, true>},
                                        {runner<kVarFix, false>, runner<kVarFix, true>},
                                        {runner<kFixVar, false>, runner<kFixVar, true>},
                                        {runner<kFixFix, false>, runner<kFixFix, true>},
                                        {runner<kDat, false>, runner<kDat, true>},
                                        {runner<kStr, false>, runner<kStr, true>}};
  pl.run = kRun[form][pl.tfc];
  // A constant of 8 bytes after a variable of 8 bytes or a fixed value at
  // a scale it reaches.
  uint8_t* a = ii_ref(ii_arena + pl.word);
  if (pl.cnst && pl.l2 == 8 && ((form == kVarVar && pl.l1 == 8 && a) || form == kFixVar) &&
      decode_konst(pl, form == kVarVar ? int8_t(a[8]) : pl.sc1)) {
    pl.run = form == kVarVar ? (pl.tfc ? runner_k<true, true> : runner_k<true, false>)
                             : (pl.tfc ? runner_k<false, true> : runner_k<false, false>);
    if (form == kVarVar && !pl.chk) pl.kind = pl.tfc ? ii_cmp::kStoredTfc : ii_cmp::kStored;
  } else if (pl.cnst && form == kFixFix && decode_konst(pl, pl.sc1, true))
    pl.run = pl.tfc ? runner_k<false, true, true> : runner_k<false, false, true>;
  if (g_plans.size() < kMaxPlans) {
    g_plans.push_back(pl);
    g_nplans = uint32_t(g_plans.size());
    return g_nplans;
  }
  g_plans[g_next] = pl;
  uint32_t no = g_next + 1;
  g_next = (g_next + 1) % kMaxPlans;
  return no;
}

// IRA_1 as every family loads register 1.
uint8_t* ira_1(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* f = ii_field(pc + 4);
  if (!f) [[unlikely]]
    return ii_no_field(b, s, "inst_ira");
  s->addr[0] = f;
  return ii_next(b, s, ii_adv(pc, 8));
}
// IRA_1 of a statement whose plan is to be built or was given to another.
[[gnu::noinline]] uint8_t* ira_1_build(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint32_t no = build(pc);
  if (no) set_plan_no(pc, no);
  return ira_1(b, s, pc);
}

}  // namespace cmp_plan

// A packed loop's step as a link's own head goes to it: pc is the IRA_1
// the link was found at, with SET_ADDR_LEN and END LOOP after it.
uint8_t* loop_step_run(IlfExecBlock* b, IlfState* s, uint8_t* pc, const IiPlanHead&) {
  uint8_t* f = ii_field(pc + 4);
  if (!f) [[unlikely]]
    return ii_ira_1(b, s, pc);
  return ii_ira_end_loop(b, s, pc, f);
}
// IRA_1 at pc and the load of register 2 after it (CNST_2 or IRA_2,
// relocated) of a statement that is no compiled compare, in one: then the
// instruction after them, as the loop would run it next. A field with no
// data area is the instructions' to report.
uint8_t* pair_load(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* f = ii_field(pc + 4);
  uint8_t* y;
  if (!f || !ii_load_reg(pc + 8, ii_op(pc + 8) == 55, &y)) [[unlikely]]
    return cmp_plan::ira_1(b, s, pc);
  s->addr[0] = f;
  s->addr[1] = y;
  s->count += 2;  // the second load and the instruction after it, for the loop's yield
  uint8_t* next = pc + 16;
  s->pc = next;
  return ii_inst_fns[ii_op(next)](b, s, next);
}
// The same as a link's own head goes to it (the load after IRA_1 checked
// again: a link holds only the place).
uint8_t* pair_load_run(IlfExecBlock* b, IlfState* s, uint8_t* pc, const IiPlanHead&) {
  if ((ii_op(pc + 8) | 8) != 63) [[unlikely]]
    return ii_ira_1(b, s, pc);
  return pair_load(b, s, pc);
}
// The link to the IRA_1 at pc: a compiled compare, or a packed loop's
// step (IRA_1, SET_ADDR_LEN and END LOOP, all relocated), or the two loads
// of a statement whose compare was refused (or that is none).
void ira_1_link(uint8_t* pc, IiLink& l) {
  using namespace cmp_plan;
  uint16_t second = ii_op(pc + 8);
  const Plan* pl = (second | 8) == 63 ? plan_at(pc) : nullptr;
  if (pl) {
    l.to = pl;
  } else if ((second | 8) == 63 && ii_op(pc) == 61 && plan_no(pc) == kRefused) {
    l.self = IiPlanHead{pair_load_run, off(pc)};
    l.to = &l.self;
  } else if (ii_op(pc) == 61 && (second | 1) == 9 && ii_op(pc + 16) == 13) {
    l.self = IiPlanHead{loop_step_run, off(pc)};
    l.to = &l.self;
  }
}

// IRA_1 of the field f and the SET_ADDR_LEN after it, where no END LOOP
// follows: with the loads of a BEG LOOP after them in one (out of line, so
// that the END LOOP's way makes no call).
[[gnu::noinline]] uint8_t* ira_1_loads(IlfExecBlock* b, IlfState* s, uint8_t* pc, uint8_t* f) {
  if (uint8_t* beg = ii_beg_loop_loads(s, pc, f)) return ii_inst_fns[ii_op(beg)](b, s, beg);
  s->addr[0] = f;
  s->pc = pc + 8;
  ++s->count;  // the instruction it stands for, for the loop's yield
  return ii_set_addr_len(b, s, pc + 8);
}
// IRA_1 and the SET_ADDR_LEN after it (a loop's variable before its END
// LOOP, which runs with them when it follows, or before the other loads of
// its BEG LOOP, likewise), not while the loop looks at every instruction.
[[gnu::noinline]] uint8_t* ira_1_len(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* f = ii_field(pc + 4);
  if (!f || ii_slow(s)) [[unlikely]]
    return cmp_plan::ira_1(b, s, pc);
  if (rec::view<IbInst>(pc + 16).op.get() == 13) return ii_ira_end_loop(b, s, pc, f);
  return ira_1_loads(b, s, pc, f);
}

}  // namespace

uint8_t* ii_ira_1(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  using namespace cmp_plan;
  uint16_t second = rec::view<IbInst>(pc + 8).op;
  if ((second | 8) != 63 || ii_slow(s)) [[unlikely]] {  // (55 CNST_2, 63 IRA_2)
    if ((second | 1) == 9) return ira_1_len(b, s, pc);
    return ira_1(b, s, pc);
  }
  if (plan_no(pc) == kRefused && ii_op(pc) == 61) return pair_load(b, s, pc);  // (no compiled compare)
  if (const Plan* pl = plan_at(pc)) [[likely]]
    return pl->run(b, s, pc, *pl);
  uint32_t no = plan_no(pc);
  if (no != 0 && no != kRefused && no - 1 < g_nplans) no = pc[11] = 0;  // its number went to another statement
  if (no == 0) return ira_1_build(b, s, pc);
  return ira_1(b, s, pc);
}

namespace {

// UNXPND: scratch value 1 into the target at r1 of the given length; a
// value that does not fit is 300540, the target unchanged.
uint8_t* inst_unxpnd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  int len = rec::view<IbUnxpnd>(pc).len;
  uint8_t tmp[16];
  if (len < 1 || len > 16 || !pd_set(tmp, len, s->work[0], 16)) return ii_fail(b, s, kIiErrRuntime);
  std::memcpy(s->addr[0], tmp, size_t(len));
  return ii_adv(pc, 6);
}

// ------------------------------------------------------ binary values --
// Stores a magnitude and its sign into a binary field by the range rules;
// false (nothing written) when it does not fit.
[[gnu::always_inline]] inline bool store_bin(uint8_t* t, int len, bool sg, bool neg, uint64_t mag) {
  if (mag == 0) neg = false;
  if (!sg && neg) return false;
  uint64_t max = len == 1 ? (sg ? 127u : 255u) : len == 2 ? (sg ? 32767u : 65535u) : (sg ? 0x7FFFFFFFu : 0xFFFFFFFFu);
  if (mag > max) return false;
  uint32_t v = neg ? uint32_t(0u - uint32_t(mag)) : uint32_t(mag);
  if (len == 1) t[0] = uint8_t(v);
  else if (len == 2) rec::view<rec::U16>(t) = uint16_t(v);
  else rec::view<rec::U32>(t) = v;
  return true;
}

// SET_BIN_TO_PD: the binary at r2 into packed r1. Into 1-8 bytes where it
// fits, in 64 bits what the 16-byte path after it does; a variable target
// of 8 bytes at a scale of 0-31 through the value cache (ii_vc_store,
// which writes what encode writes).
[[gnu::noinline]] uint8_t* set_bin_to_pd_any(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbSetBinToPd>(pc);
  int64_t v = ii_read_bin(s->addr[1], in.src_len, in.src_signed != 0);
  {
    int tl = in.tgt_len - (in.var_target ? 1 : 0);
    uint64_t m = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
    if (tl >= 1 && tl <= 8 && (in.var_target || ii_shift64(m, int(in.tgt_scale.get()) - int(in.scale.get()))) &&
        m < uint64_t(pacdec::limit(tl))) {
      pacdec::encode64(s->addr[0], tl, v < 0 ? -int64_t(m) : int64_t(m));
      if (in.var_target) s->addr[0][tl] = uint8_t(in.scale.get());
      return ii_adv(pc, 16);
    }
  }
  uint8_t w[16], out[16];
  int tl = in.tgt_len;
  bool ok = pd_cvp64(w, 16, v) == 1;
  if (in.var_target) {
    tl -= 1;
    ok = ok && tl >= 1 && tl <= 16 && pd_set(out, tl, w, 16);
    if (ok) {
      std::memcpy(s->addr[0], out, size_t(tl));
      s->addr[0][tl] = uint8_t(in.scale.get());
    }
  } else {
    ok = ok && tl >= 1 && tl <= 16 && pd_shft(w, 16, int(in.tgt_scale.get()) - int(in.scale.get())) &&
         pd_set(out, tl, w, 16);
    if (ok) std::memcpy(s->addr[0], out, size_t(tl));
  }
  return ok ? ii_adv(pc, 16) : ii_fail(b, s, kIiErrRuntime);
}
uint8_t* inst_set_bin_to_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbSetBinToPd>(pc);
  int64_t v = ii_read_bin(s->addr[1], in.src_len, in.src_signed != 0);
  int tl = in.tgt_len, sc = in.scale;
  if (in.var_target) {
    if (tl == 9 && unsigned(sc) <= unsigned(kIiMaxScale)) [[likely]] {
      ii_vc_store(s->addr[0], v, sc, ii_vc_pair());  // (|v| < 2^32 < 10^15)
      return ii_next(b, s, ii_adv(pc, 16));
    }
  } else if (unsigned(tl - 1) < 8u) [[likely]] {
    // The value as 10 digits at most, then moved to the target's scale as
    // its digit nibbles.
    uint64_t m = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
    uint64_t w = __builtin_bswap64(pacdec::bcd_mem_signed(m, v < 0 ? com.pd_neg : com.pd_pos));
    int k = int(in.tgt_scale.get()) - sc;
    if (k <= 15 && (k >= 0 ? pacdec::rescale_up(w, 2 * tl - 1, k) : pacdec::rescale_down(w, 2 * tl - 1, -k)))
        [[likely]] {
      pacdec::store_be(s->addr[0], w, tl);
      return ii_next(b, s, ii_adv(pc, 16));
    }
  }
  return set_bin_to_pd_any(b, s, pc);
}

// SET_PD_TO_BIN: packed r2 into the binary at r1. A valid value of 1-8
// bytes (a variable one read through the value cache) in 64 bits, what the
// 16-byte path after it does.
[[gnu::noinline]] uint8_t* set_pd_to_bin_any(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbSetPdToBin>(pc);
  int sl = in.src_len, ss = in.src_scale;
  if (in.var_source) {
    sl -= 1;
    ss = sl >= 1 && sl <= 16 ? int8_t(s->addr[1][sl]) : 0;
  }
  {
    int64_t v;
    uint64_t m;
    if (sl >= 1 && sl <= 8 && ss >= 0 && ss <= kIiMaxScale && pacdec::decode64(s->addr[1], sl, v) &&
        ii_shift64(m = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v), int(in.tgt_scale.get()) - ss) &&
        m <= 0xFFFFFFFFull && store_bin(s->addr[0], in.tgt_len, in.tgt_signed != 0, v < 0, m))
      return ii_adv(pc, 16);
  }
  uint8_t w[16];
  int d = int(in.tgt_scale.get()) - ss, digits = 0;
  bool ok = sl >= 1 && sl <= 16 && ss >= kIiMinScale && ss <= kIiMaxScale && d >= -62 && d <= 62 &&
            pd_set(w, 16, s->addr[1], sl);
  // A shift past 31 digits leaves zero down, or overflows up (unless zero).
  if (ok && d < -31) {
    ok = pd_shft(w, 16, -31);
    d += 31;
  }
  ok = ok && pd_shft(w, 16, d) && SIG_DIGITS(w, 16, &digits) >= 0 && digits <= 10;
  bool fits = false;
  int64_t v = ok ? pd_cvb64(w, 16, &fits) : 0;
  ok = ok && fits && (v < 0 ? -v : v) <= 0xFFFFFFFFll &&
       store_bin(s->addr[0], in.tgt_len, in.tgt_signed != 0, v < 0, uint64_t(v < 0 ? -v : v));
  return ok ? ii_adv(pc, 16) : ii_fail(b, s, kIiErrRuntime);
}
uint8_t* inst_set_pd_to_bin(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbSetPdToBin>(pc);
  const uint8_t* p = s->addr[1];
  int sl = in.src_len, var = in.var_source;
  int ss = var ? (sl == 9 ? int8_t(p[8]) : 0) : int(in.src_scale.get());
  int k = int(in.tgt_scale.get()) - ss;
  uint64_t m = 0;
  bool neg = false, got = false;
  if (k < 0) {  // fewer decimals: the digits rounded, then converted
    got = (var ? sl == 9 : unsigned(sl - 1) < 8u) && ss <= kIiMaxScale;
    uint64_t w = !got ? 0 : var ? pacdec::load8(p) : pacdec::load_be(p, sl);
    got = got && pacdec::rescale_down(w, 15, -k);
    m = pacdec::bcd_to_bin(w >> 4);
    neg = (w & 0xF) == com.pd_neg;
  } else {  // (the value cache refuses a scale byte out of 0-31)
    int64_t v = 0;
    got = var ? sl == 9 && ii_vc_get(p, ii_vc_hi(ii_vc_pair()), v, ss)
              : unsigned(sl - 1) < 8u && ss <= kIiMaxScale && pacdec::decode64(p, sl, v);
    neg = v < 0;
    m = neg ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  }
  if (got && ii_shift64(m, k > 0 ? k : 0) && m <= 0xFFFFFFFFull &&
      store_bin(s->addr[0], in.tgt_len, in.tgt_signed != 0, neg, m)) [[likely]]
    return ii_next(b, s, ii_adv(pc, 16));
  return set_pd_to_bin_any(b, s, pc);
}

// SET_BIN_TO_BIN: the scale difference one digit at a time.
uint8_t* inst_set_bin_to_bin(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbSetBinToBin>(pc);
  int64_t v = ii_read_bin(s->addr[1], in.src_len, in.src_signed != 0);
  bool neg = v < 0;
  uint64_t mag = uint64_t(neg ? -v : v);
  bool ok = true;
  for (int d = int(in.tgt_scale.get()) - int(in.src_scale.get()); ok && d != 0; d += d > 0 ? -1 : 1) {
    if (d > 0) {
      ok = mag <= 429496729u;
      mag *= 10;
    } else {
      uint64_t r = mag % 10;
      mag = mag / 10 + (r > 4 ? 1 : 0);
      if (mag == 0) break;
    }
  }
  ok = ok && store_bin(s->addr[0], in.tgt_len, in.tgt_signed != 0, neg, mag);
  return ok ? ii_adv(pc, 16) : ii_fail(b, s, kIiErrRuntime);
}

// RND_UINT32B: the unsigned binary work value (work value 2's first word)
// divided, an exact half rounding down; the rounding flag in its second.
uint8_t* inst_rnd_uint32b(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint32_t d = rec::view<IbRndU32>(pc).divisor;
  if (d == 0) return ii_fail(b, s, kIiErrRuntime);
  uint32_t v = rec::view<rec::U32>(s->work[1]);
  uint32_t q = v / d, r = v % d;
  bool up = uint64_t(r) * 2 > d;
  rec::view<rec::U32>(s->work[1]) = q + (up ? 1 : 0);
  rec::view<rec::U32>(s->work[1] + 4) = up ? 1 : 0;
  return ii_adv(pc, 8);
}

// PD_TO_LOG: '1' for a value other than zero.
uint8_t* inst_pd_to_log(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbPdToLog>(pc);
  int len = in.len;
  uint8_t w[16];
  if (len < 1 || len > 16 || !pd_set(w, 16, s->addr[1], len)) return ii_fail(b, s, kIiErrRuntime);
  static const uint8_t zero[1] = {0x0C};
  s->addr[0][0] = pd_cmp(w, 16, zero, 1) != 0 ? '1' : '0';
  return ii_adv(pc, 8);
}

// --------------------------------------------------------- alpha moves --
// The source at r2 after the text at r1 (tl bytes, n of them before its
// trailing blanks), `blanks` separators of sep between, cut at the end.
uint8_t* append(IlfState* s, uint8_t* pc, int tl, int n, int sl, int blanks, uint8_t sep) {
  uint8_t* t = s->addr[0];
  int room = tl - n;
  if (room > 0) {
    if (blanks > room) {
      ii_fill(t + n, sep, size_t(room));
    } else {
      int copy = std::min(sl, room - blanks);
      ii_fill(t + n, sep, size_t(blanks));
      ii_move(t + n + blanks, s->addr[1], size_t(copy));
    }
  }
  return ii_adv(pc, 10);
}
uint8_t* inst_append(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbAppend>(pc);
  int tl = in.tgt_len, blanks = in.blanks, n = int(ut_buflen(s->addr[0], size_t(tl)));
  // With too few blanks for the separators, nothing is appended.
  if (blanks > tl - n) return ii_next(b, s, ii_adv(pc, 10));
  return ii_next(b, s, append(s, pc, tl, n, in.src_len, blanks, ' '));
}
// APPENDFIX: a one-byte target length and the fill character between; a
// target whose first three bytes are blank is empty: the source goes to
// its start.
uint8_t* inst_appendfix(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbAppend>(pc);
  int tl = pc[4], sl = in.src_len;
  uint8_t* t = s->addr[0];
  if (tl >= 3 && t[0] == ' ' && t[1] == ' ' && t[2] == ' ') {
    ii_fill(t, ' ', size_t(tl));
    ii_move(t, s->addr[1], size_t(std::min(sl, tl)));
    return ii_next(b, s, ii_adv(pc, 10));
  }
  return ii_next(b, s, append(s, pc, tl, int(ut_buflen(t, size_t(tl))), sl, in.blanks, com.fill_char));
}

// SET_TEMP: a substring of the source at r2 into the target at r1.
uint8_t* inst_set_temp(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbSetTemp>(pc);
  int toff = int(s->len[0]) - 1, soff = int(s->len[1]) - 1, want = s->len[2];
  int tl = in.tgt_len, sl = in.src_len;
  if (toff < 0 || soff < 0) return ii_fail(b, s, kIiErrPrint);
  int n = std::min({want, tl - toff, sl - soff});
  if (n < 0) return ii_fail(b, s, kIiErrPrint);
  ii_move(s->addr[0] + toff, s->addr[1] + soff, size_t(n));
  int pad = std::min(want - n, tl - toff - n);
  if (pad > 0) ii_fill(s->addr[0] + toff + n, ' ', size_t(pad));
  return ii_next(b, s, ii_adv(pc, 8));
}

// TOKEN_TO_ALP: the text of the source's token, '?' when it has none. The
// token group's list is loaded when it first runs.
uint8_t* inst_token_to_alp(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbTokenToAlp>(pc);
  if (in.handle == 0) {
    char app[4] = {}, group[23] = {};
    std::memcpy(app, in.app.data(), 3);
    std::memcpy(group, in.elem.data(), 22);
    in.handle = cv_load_token(app, "00", 0, group);
  }
  int sl = in.src_len, tl = in.tgt_len;
  const uint8_t* p = s->addr[1];
  int32_t v = sl == 1 ? int8_t(p[0]) : sl == 2 ? int16_t(uint16_t(p[0] | p[1] << 8))
                                             : int32_t(rec::view<rec::U32>(const_cast<uint8_t*>(p)).get());
  const CvTokenRec* t = in.handle ? cv_get_token(in.handle, nullptr, v, 1) : nullptr;
  if (!t) {
    std::memset(s->addr[0], '?', size_t(tl));
  } else {
    std::memset(s->addr[0], ' ', size_t(tl));
    std::memcpy(s->addr[0], t->text.data(), size_t(std::min(tl, 30)));
  }
  return ii_adv(pc, 36);
}

}  // namespace

uint64_t ii_cmp_plan_runs() { return cmp_plan::g_runs; }
uint64_t ii_cmp_plan_builds() { return cmp_plan::g_builds; }

void ii_fld_init() {
  ii_set_link_find(61, ira_1_link);
  // The byte a compiled compare's number lives in, cleared when the second
  // load is relocated: what a module's file held there names no plan.
  for (uint16_t op : {54, 62}) ib_set_hook(op, [](EmHeader*, uint8_t* p) { p[3] = 0; });
  ii_set_pair(250, inst_append);
  ii_set_pair(252, inst_appendfix);
  ii_set_pair(272, inst_xpnd_fix_var);
  ii_set_pair(276, inst_xpnd_var_fix);
  ii_set_pair(278, inst_xpnd_var_var);
  ii_set_pair(422, inst_xpnd_fix_fix);
  ii_set_pair(300, inst_unxpnd);
  ii_set_pair(380, inst_rnd_uint32b);
  ii_set_pair(406, inst_set_temp);
  ii_set_pair(410, inst_token_to_alp);
  ii_set_pair(414, inst_set_bin_to_pd);
  ii_set_pair(416, inst_set_pd_to_bin);
  ii_set_pair(418, inst_set_bin_to_bin);
  ii_set_pair(424, inst_pd_to_log);
}
