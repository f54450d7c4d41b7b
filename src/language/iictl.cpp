// Control statements at run time (ibctl.h gives the layouts).
//
// Loops. Registers 1-4 address the loop variable, FROM, TO and STEP; a
// packed register value is its digit bytes and a scale byte, the length
// register counting both. Every step of a loop is checked: the next value
// is compared with TO exactly (16 bytes for packed, 64 bits for binary), so
// a step past the variable's 15 digits or 32 bits ends the loop as any step
// past TO does; a value that must be stored and cannot (more than 15 digits
// with no decimals left to drop, or an invalid packed value) is 300540.
#include <algorithm>
#include <array>
#include <utility>
#include <climits>
#include <cstring>

#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/pd.h"
#include "foundation/ssunix.h"
#include "language/ibctl.h"
#include "language/ibtst.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pishr.h"
#include "screen/wm.h"

namespace {

uint8_t* loop_block(const uint8_t* pc, int at) { return ii_field(pc + at); }

// ------------------------------------------------------------ loops --
// LOOP_CNV: a FROM, TO or STEP operand of the other type, converted into
// the register's scratch value (length 9).
uint8_t* inst_loop_cnv(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbLoopCnv>(pc);
  int r = (in.reg - 1) & 3;
  const uint8_t* p = s->addr[r];
  uint8_t* w = s->work[r];
  uint8_t out[9] = {};
  if (in.var_type != kIiBin) {
    int len = in.op_len;
    int64_t v = len == 1 ? int8_t(p[0]) : len == 2 ? int16_t(p[0] | p[1] << 8)
                                                   : int32_t(rec::view<rec::U32>(const_cast<uint8_t*>(p)).get());
    if (!pd_cvp64(out, 8, v)) return ii_fail(b, s, kIiErrRuntime);
  } else {
    uint8_t v[16];
    int scale = int8_t(p[8]);
    bool ok = scale >= kIiMinScale && scale <= kIiMaxScale && pd_set(v, 16, p, 8) && pd_shft(v, 16, -scale);
    int32_t x = ok ? pd_cvb(v, 16, &ok) : 0;
    if (!ok) return ii_fail(b, s, kIiErrRuntime);
    rec::view<rec::U32>(out) = uint32_t(x);
  }
  std::memcpy(w, out, 9);
  s->addr[r] = w;
  s->len[r] = 9;
  return ii_adv(pc, 8);
}


// A packed register: digits and scale (below 0 for a CALC result past 15
// digits: the values are brought to the largest scale, never below it).
struct PdReg {
  uint8_t v[16];
  int scale;
};
bool pd_reg(const uint8_t* p, int len, PdReg* out) {
  if (len < 2 || len > 17) return false;
  out->scale = int8_t(p[len - 1]);
  return out->scale >= kIiMinScale && out->scale <= kIiMaxScale && pd_set(out->v, 16, p, len - 1);
}
// a and b compared at a common scale.
int cmp_at(PdReg a, PdReg b) {
  int s = std::max(a.scale, b.scale);
  if (!pd_shft(a.v, 16, s - a.scale) || !pd_shft(b.v, 16, s - b.scale)) return kPdCmpInvalid;
  return pd_cmp(a.v, 16, b.v, 16);
}
int sgn(int64_t v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

static_assert(sizeof(IiLoopPd) == 28, "ii_loop_memo steps by the control block's size");
IlfState::LoopMemo& memo_of(IlfState* s, const uint8_t* blk) { return ii_loop_memo(s, blk); }
// Sets the memo m to v, keeping its link while it stays the same block's
// (a loop begun again goes back to the same body; the link checks that
// anyway).
void set_memo(IlfState::LoopMemo& m, const IlfState::LoopMemo& v) {
  if (m.blk != v.blk) m.link = IiLink{};
  m.var = v.var;
  m.blk = v.blk;
  m.var_raw = v.var_raw;
  m.step_raw = v.step_raw;
  m.to_raw = v.to_raw;
  m.v = v.v;
  m.step = v.step;
  m.to = v.to;
}

// An 8-byte packed value and its scale byte (a register of length 9) that
// is valid: its value, and its bytes as pd_set would copy them (a zero of
// either sign the positive zero). False leaves it to the 16-byte path.
bool pd_reg8(const uint8_t* p, int len, uint64_t* raw, int64_t* v) {
  pacdec::u128 mag;
  bool neg;
  if (len != 9 || !pacdec::decode(p, 8, mag, neg)) return false;
  // (decode takes the two sign nibbles only: the bytes are encode's but
  // for a negative zero.)
  uint8_t b[8];
  if (neg && mag == 0) pacdec::encode(b, 8, mag, neg);
  else std::memcpy(b, p, 8);
  std::memcpy(raw, b, 8);
  *v = neg ? -int64_t(mag) : int64_t(mag);
  return true;
}

// The same through the value cache (FROM, TO and STEP are read again each
// time the loop begins).
bool pd_reg8_vc(const uint8_t* p, uint64_t pair, uint64_t* raw, int64_t* v) {
  int sc;
  if (!ii_vc_read(p, pair, *v, sc)) return pd_reg8(p, 9, raw, v);  // (a negative scale, or not valid)
  std::memcpy(raw, p, 8);
  if (*v == 0) *raw = pacdec::bcd_mem_signed(0, pair & 0xFF);  // (a negative zero as the positive one)
  return true;
}

// BEG LOOP of three valid 8-byte values at one scale: what the 16-byte path
// below does, without its conversions; false when it must decide.
// link: the memo's way into the body when next is the body.
bool beg_loop_pd8(IlfState* s, IiLoopPd& lb, uint8_t* blk, uint8_t* pc, uint8_t** next, IiLink** link) {
  const uint8_t* a[3] = {s->addr[1], s->addr[2], s->addr[3]};
  int sc = int8_t(a[0][8]);
  if (s->len[1] != 9 || s->len[2] != 9 || s->len[3] != 9 || int8_t(a[1][8]) != sc || int8_t(a[2][8]) != sc ||
      sc < kIiMinScale || sc > kIiMaxScale)
    return false;
  uint64_t raw[3];
  int64_t v[3];
  const uint64_t pair = ii_vc_pair();
  for (int i = 0; i < 3; ++i)
    if (!pd_reg8_vc(a[i], pair, &raw[i], &v[i])) return false;
  std::memcpy(s->addr[0], &raw[0], 8);
  s->addr[0][8] = uint8_t(sc);
  std::memcpy(lb.to.data(), &raw[1], 8);
  lb.to_scale = uint8_t(sc);
  std::memcpy(lb.step.data(), &raw[2], 8);
  lb.step_scale = uint8_t(sc);
  lb.all_int = sc == 0;
  int dir = v[2] < 0 ? -1 : 1;
  lb.dir = uint8_t(int8_t(dir));
  if (sgn(v[0] - v[1]) != dir) {  // (both below 10^15 in magnitude)
    lb.back.off.set(uint32_t(ii_adv(pc, 12) - ii_arena));  // (code: in the arena)
    ii_loop_begun(s, blk, ii_adv(pc, 12));
    *next = ii_adv(pc, 12);
    if (sc == 0) {
      IlfState::LoopMemo& m = *s->last_memo;  // (memo_of(s, blk), as ii_loop_begun left it)
      set_memo(m, {s->addr[0], blk, raw[0], raw[2], raw[1], v[0], v[2], v[1]});
      ii_vc_enter(s->addr[0], raw[0], v[0], 0, pair);  // the body reads it next
      uint8_t* body = *next;
      *next = ii_loop_first(s, pc, blk, body);  // (a plan runs only loops of integers)
      if (*next == body) *link = &m.link;
    }
  } else {
    lb.back.reset();
    *next = ii_at(pc + 4);
  }
  return true;
}

uint8_t* inst_beg_loop_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* blk = loop_block(pc, 8);
  if (!blk) return ii_no_field(b, s, "inst_beg_loop_pd");
  auto& lb = rec::view<IiLoopPd>(blk);
  uint8_t* next;
  IiLink* link = nullptr;
  if (beg_loop_pd8(s, lb, blk, pc, &next, &link)) [[likely]]
    return link ? ii_go(b, s, next, *link) : ii_next(b, s, next);
  PdReg from, to, step;
  if (!pd_reg(s->addr[1], s->len[1], &from) || !pd_reg(s->addr[2], s->len[2], &to) ||
      !pd_reg(s->addr[3], s->len[3], &step))
    return ii_fail(b, s, kIiErrRuntime);
  uint8_t var[8], t8[8], s8[8];
  if (!pd_set(var, 8, from.v, 16) || !pd_set(t8, 8, to.v, 16) || !pd_set(s8, 8, step.v, 16))
    return ii_fail(b, s, kIiErrRuntime);
  std::memcpy(s->addr[0], var, 8);
  s->addr[0][8] = uint8_t(from.scale);
  std::memcpy(lb.to.data(), t8, 8);
  lb.to_scale = uint8_t(to.scale);
  std::memcpy(lb.step.data(), s8, 8);
  lb.step_scale = uint8_t(step.scale);
  lb.all_int = from.scale == 0 && to.scale == 0 && step.scale == 0;
  int dir = (step.v[15] & 0xF) == com.pd_neg ? -1 : 1;
  lb.dir = uint8_t(int8_t(dir));
  int c = cmp_at(from, to);
  if (c == kPdCmpInvalid) return ii_fail(b, s, kIiErrRuntime);
  if (c != dir) {
    lb.back.set(ii_adv(pc, 12));
    ii_loop_begun(s, blk, ii_adv(pc, 12));
    return ii_adv(pc, 12);
  }
  lb.back.reset();
  return ii_at(pc + 4);
}

uint8_t* end_loop_pd_general(IlfExecBlock* b, IlfState* s, uint8_t* pc, uint8_t* blk, uint8_t* back);


// END LOOP past its checks, but for a step the memo gives (below).
[[gnu::noinline]] uint8_t* end_loop_pd_any(IlfExecBlock* b, IlfState* s, uint8_t* pc, uint8_t* blk, uint8_t* back) {
  auto& lb = rec::view<IiLoopPd>(blk);
  uint8_t* var = s->addr[0];
  int dir = int8_t(lb.dir.get());
  if (lb.all_int && var[8] == 0) {  // 8-byte integers
    IlfState::LoopMemo& m = memo_of(s, blk);
    uint8_t sum[8];
    std::memcpy(sum, var, 8);
    if (pd_fast_add(sum, lb.step.data())) {  // else past 15 digits: the 16-byte path below
      int c = pd_fast_cmp(sum, lb.to.data());
      if (c == kPdCmpInvalid) return ii_fail(b, s, kIiErrRuntime);
      if (c == dir) {
        lb.back.reset();
        return ii_adv(pc, 8);
      }
      std::memcpy(var, sum, 8);
      // All three are valid now: the next step can start from here.
      auto value = [](uint64_t raw) {
        uint64_t w = __builtin_bswap64(raw);
        int64_t x = int64_t(pacdec::bcd_to_bin(w >> 4));
        return (w & 0xF) == com.pd_neg ? -x : x;
      };
      uint64_t var_raw, step_raw, to_raw;
      std::memcpy(&var_raw, sum, 8);
      std::memcpy(&step_raw, lb.step.data(), 8);
      std::memcpy(&to_raw, lb.to.data(), 8);
      set_memo(m, {var, blk, var_raw, step_raw, to_raw, value(var_raw), value(step_raw), value(to_raw)});
      return ii_next(b, s, ii_loop_back(b, s, pc, back));
    }
  }
  return end_loop_pd_general(b, s, pc, blk, back);
}

// The 16-byte path: any scale, any step.
[[gnu::noinline]] uint8_t* end_loop_pd_general(IlfExecBlock* b, IlfState* s, uint8_t* pc, uint8_t* blk, uint8_t* back) {
  auto& lb = rec::view<IiLoopPd>(blk);
  uint8_t* var = s->addr[0];
  int dir = int8_t(lb.dir.get());
  PdReg v, st, to;
  uint8_t tb[9], sb[9];
  std::memcpy(tb, lb.to.data(), 8);
  tb[8] = lb.to_scale;
  std::memcpy(sb, lb.step.data(), 8);
  sb[8] = lb.step_scale;
  if (!pd_reg(var, 9, &v) || !pd_reg(sb, 9, &st) || !pd_reg(tb, 9, &to)) return ii_fail(b, s, kIiErrRuntime);
  int sc = std::max({v.scale, st.scale, to.scale});
  if (!pd_shft(v.v, 16, sc - v.scale) || !pd_shft(st.v, 16, sc - st.scale) || !pd_add(v.v, 16, st.v, 16))
    return ii_fail(b, s, kIiErrRuntime);
  v.scale = sc;
  int c = cmp_at(v, to);
  if (c == kPdCmpInvalid) return ii_fail(b, s, kIiErrRuntime);
  if (c == dir) {
    lb.back.reset();
    return ii_adv(pc, 8);
  }
  // At most 15 digits: drop decimals, rounding (twice, for a carry).
  for (int pass = 0; pass < 2; ++pass) {
    int d = 0;
    SIG_DIGITS(v.v, 16, &d);
    if (d <= 15) break;
    int n = d - 15;
    if (n > sc || !pd_shft(v.v, 16, -n)) return ii_fail(b, s, kIiErrRuntime);
    sc -= n;
  }
  uint8_t out[8];
  if (!pd_set(out, 8, v.v, 16)) return ii_fail(b, s, kIiErrRuntime);
  std::memcpy(var, out, 8);
  var[8] = uint8_t(sc);
  return back;
}

[[gnu::noinline]] uint8_t* end_loop_pd_full(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* blk = loop_block(pc, 4);
  if (!blk) [[unlikely]]
    return ii_no_field(b, s, "inst_end_loop_pd");
  auto& lb = rec::view<IiLoopPd>(blk);
  uint8_t* back = ii_ref(reinterpret_cast<const uint8_t*>(&lb.back));  // (no call for the arena's base)
  if (!back || !ii_loop_back_ok(s, blk, back)) [[unlikely]]
    return ii_fail(b, s, kIiErrLoop);
  // The common case: 8-byte integers, the step after one the memo holds
  // (the values follow from the bytes alone; the variable's address only
  // tells a memo from none).
  uint8_t* var = s->addr[0];
  IlfState::LoopMemo& m = memo_of(s, blk);
  uint64_t var_raw, step_raw, to_raw;
  std::memcpy(&var_raw, var, 8);
  std::memcpy(&step_raw, lb.step.data(), 8);
  std::memcpy(&to_raw, lb.to.data(), 8);
  if (lb.all_int && var[8] == 0 && m.var == var && m.var_raw == var_raw && m.step_raw == step_raw &&
      m.to_raw == to_raw) [[likely]] {
    int64_t v = m.v + m.step;  // (both below 10^15 in magnitude)
    if (int8_t(lb.dir.get()) > 0 ? v > m.to : v < m.to) {
      lb.back.reset();
      return ii_adv(pc, 8);
    }
    uint64_t a = v < 0 ? uint64_t(-v) : uint64_t(v);
    if (a < 1000000000000000ULL) [[likely]] {  // else the 16-byte path gives the error
      // Upwards from 0 or above, the digits add as they stand.
      uint64_t digits = m.v >= 0 && m.step >= 0
                            ? pacdec::bcd_add15(__builtin_bswap64(var_raw) >> 4, __builtin_bswap64(step_raw) >> 4, 0)
                            : pacdec::bin_to_bcd(a);
      var_raw = __builtin_bswap64(digits << 4 | (v < 0 ? com.pd_neg : com.pd_pos));
      std::memcpy(var, &var_raw, 8);
      ii_vc_enter(var, var_raw, v, 0, ii_vc_pair());  // the body reads it next
      m.var_raw = var_raw;
      m.v = v;
      return ii_next(b, s, ii_loop_back(b, s, pc, back));
    }
    return end_loop_pd_general(b, s, pc, blk, back);
  }
  return end_loop_pd_any(b, s, pc, blk, back);
}


// END LOOP's full path from a handler that ran it in line (s->pc then
// still at an instruction before it).
[[gnu::noinline]] uint8_t* end_loop_pd_from(IlfExecBlock* b, IlfState* s, uint8_t* el) {
  s->pc = el;
  return end_loop_pd_full(b, s, el);
}

// The loop ended at the END LOOP at el: on after it.
[[gnu::noinline]] uint8_t* end_loop_pd_done(IlfExecBlock* b, IlfState* s, uint8_t* el, IiLoopPd& lb) {
  lb.back.reset();
  return ii_next(b, s, ii_adv(el, 8));
}

// END LOOP of a loop other than the last one begun or stepped (an outer
// loop after its inner loop ended): that loop becomes the last (as the full
// path takes it), then the step as usual.
[[gnu::always_inline]] inline uint8_t* end_loop_pd_step(IlfExecBlock* b, IlfState* s, uint8_t* el, uint8_t* var);
[[gnu::noinline]] uint8_t* end_loop_pd_other(IlfExecBlock* b, IlfState* s, uint8_t* el, uint8_t* var, uint8_t* blk) {
  uint8_t* back = ii_ref(reinterpret_cast<const uint8_t*>(&rec::view<IiLoopPd>(blk).back));
  if (!back || !ii_loop_back_ok(s, blk, back)) return end_loop_pd_from(b, s, el);
  return end_loop_pd_step(b, s, el, var);
}

// The way back where a loop plan may take over (ii_loop_back past its
// wait): out of line, so that END LOOP's straight path makes no call.
[[gnu::noinline]] uint8_t* end_loop_enter(IlfExecBlock* b, IlfState* s, uint8_t* pc, uint8_t* back) {
  s->pc = pc;
  return ii_next(b, s, ii_loop_enter(s, pc, back));
}

// END LOOP at el of the variable at var (register 1): the step of the loop
// last begun or stepped, 8-byte integers after a step the memo holds, that
// goes back into the body, with no call (its registers need no saving), or
// ends the loop (end_loop_pd_done); another loop's is end_loop_pd_other's;
// anything else (no memo, a value past 15 digits, an error) is
// end_loop_pd_full's, from the start (nothing is written before that is
// known) and with the loop's pc at el.
[[gnu::always_inline]] inline uint8_t* end_loop_pd_step(IlfExecBlock* b, IlfState* s, uint8_t* el, uint8_t* var) {
  uint8_t* blk = loop_block(el, 4);
  if (!blk) [[unlikely]]
    return end_loop_pd_from(b, s, el);
  if (blk != s->last_loop.blk) [[unlikely]]
    return end_loop_pd_other(b, s, el, var, blk);
  auto& lb = rec::view<IiLoopPd>(blk);
  uint32_t back_off = lb.back.raw();
  uint8_t* back = ii_arena + back_off;
  IlfState::LoopMemo& m = *s->last_memo;  // (memo_of(s, blk))
  uint64_t var_raw, step_raw, to_raw;
  std::memcpy(&var_raw, var, 8);
  std::memcpy(&step_raw, lb.step.data(), 8);
  std::memcpy(&to_raw, lb.to.data(), 8);
  if (!back_off || back != s->last_loop.back || !lb.all_int || var[8] != 0 || m.var != var ||
      m.var_raw != var_raw || m.step_raw != step_raw || m.to_raw != to_raw) [[unlikely]]
    return end_loop_pd_from(b, s, el);
  int64_t v = m.v + m.step;  // (both below 10^15 in magnitude)
  if (int8_t(lb.dir.get()) > 0 ? v > m.to : v < m.to) [[unlikely]]
    return end_loop_pd_done(b, s, el, lb);
  const uint64_t pair = ii_vc_pair();
  // From 0 or above by a step of one digit that does not carry, only the
  // last digit changes (the high nibble of the last byte: the load's top
  // bits). w: that byte with the step added to its digit, its sign nibble 0
  // when it was the positive one.
  const uint64_t st = uint64_t(m.step), w = ((var_raw >> 56) + (st << 4)) ^ (pair & 0xFF);
  if (st <= 9 && w < 0xA0 && (w & 0xF) == 0 && m.v >= 0) [[likely]] {
    var_raw += st << 60;
  } else {
    uint64_t a = v < 0 ? uint64_t(-v) : uint64_t(v);
    if (a >= 1000000000000000ULL) [[unlikely]]
      return end_loop_pd_from(b, s, el);
    // Upwards from 0 or above, the digits add as they stand.
    if (m.v >= 0 && m.step >= 0)
      var_raw = __builtin_bswap64(
          pacdec::bcd_add15(__builtin_bswap64(var_raw) >> 4, __builtin_bswap64(step_raw) >> 4, 0) << 4 | (pair & 0xFF));
    else
      var_raw = pacdec::bcd_mem_signed(a, v < 0 ? pair >> 8 : pair & 0xFF);
  }
  std::memcpy(var, &var_raw, 8);
  ii_vc_enter(var, var_raw, v, 0, pair);  // the body reads it next
  m.var_raw = var_raw;
  m.v = v;
  // ii_loop_back, its call out of line.
  uint8_t wait = el[3];
  if (wait > 1) {
    el[3] = uint8_t(wait - 1);
  } else if (ii_loop_plans_on && !ii_slow(s)) {
    return end_loop_enter(b, s, el, back);
  }
  return ii_go(b, s, back, m.link);
}

uint8_t* inst_end_loop_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  return end_loop_pd_step(b, s, pc, s->addr[0]);
}

// SET_ADDR_LEN at pc: a register's length (register 4 for a number past 4).
void set_addr_len(IlfState* s, const uint8_t* pc) {
  auto& in = rec::view<IbAddrLen>(const_cast<uint8_t*>(pc));
  s->len[in.reg >= 1 && in.reg <= 4 ? in.reg - 1 : 3] = in.len;
}

}  // namespace

// SET_ADDR_LEN; the END LOOP that usually follows it runs from here (not
// while the loop looks at every instruction).
uint8_t* ii_set_addr_len(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  set_addr_len(s, pc);
  uint8_t* next = ii_adv(pc, 6);
  if (rec::view<IbInst>(next).op.get() != 13 || ii_slow(s)) return ii_next(b, s, next);
  ++s->count;  // the instruction it stands for, for the loop's yield
  return end_loop_pd_step(b, s, next, s->addr[0]);
}

// IRA_1 of the field f, the SET_ADDR_LEN and END LOOP after it at pc + 8
// and pc + 16 (a packed loop's step), in one (not while the loop looks at
// every instruction).
uint8_t* ii_ira_end_loop(IlfExecBlock* b, IlfState* s, uint8_t* pc, uint8_t* f) {
  s->addr[0] = f;
  set_addr_len(s, pc + 8);
  s->count += 2;  // the instructions it stands for, for the loop's yield
  return end_loop_pd_step(b, s, pc + 16, f);
}

uint8_t* ii_beg_loop_loads(IlfState* s, uint8_t* pc, uint8_t* f) {
  uint8_t* r[4] = {f};
  uint8_t* p = pc + 16;  // (each instruction checked before the one after it is read)
  for (int i = 1; i < 4; ++i, p += 16) {
    size_t op = ii_op(p);
    const bool cnst = op == size_t(53 + 2 * i);  // CNST_n, else IRA_n
    if ((!cnst && op != size_t(61 + 2 * i)) || !ii_load_reg(p, cnst, &r[i])) return nullptr;
    if ((ii_op(p + 8) | 1) != 9) return nullptr;  // (SET_ADDR_LEN: nothing to relocate)
  }
  if (ii_op(p) != 3) return nullptr;
  for (int i = 0; i < 4; ++i) {
    s->addr[i] = r[i];
    set_addr_len(s, pc + 8 + 16 * i);
  }
  s->count += 8;  // the instructions it stands for, and BEG LOOP's, for the loop's yield
  s->pc = p;
  return p;
}

namespace {

int32_t bin_reg(const uint8_t* p) { return int32_t(rec::view<rec::U32>(const_cast<uint8_t*>(p)).get()); }

uint8_t* inst_beg_loop_bin(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* blk = loop_block(pc, 8);
  if (!blk) return ii_no_field(b, s, "inst_beg_loop_bin");
  auto& lb = rec::view<IiLoopBin>(blk);
  int32_t from = bin_reg(s->addr[1]), to = bin_reg(s->addr[2]), step = bin_reg(s->addr[3]);
  rec::view<rec::U32>(s->addr[0]) = uint32_t(from);
  lb.to = uint32_t(to);
  lb.step = uint32_t(step);
  int dir = step >= 0 ? 1 : -1;
  lb.dir = uint32_t(dir);
  if (sgn(int64_t(from) - to) != dir) {
    lb.back.set(ii_adv(pc, 12));
    ii_loop_begun(s, blk, ii_adv(pc, 12));
    return ii_adv(pc, 12);
  }
  lb.back.reset();
  return ii_at(pc + 4);
}

uint8_t* inst_end_loop_bin(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* blk = loop_block(pc, 4);
  if (!blk) return ii_no_field(b, s, "inst_end_loop_bin");
  auto& lb = rec::view<IiLoopBin>(blk);
  if (!lb.back || !ii_loop_back_ok(s, blk, lb.back.get())) return ii_fail(b, s, kIiErrLoop);
  int64_t sum = int64_t(bin_reg(s->addr[0])) + int32_t(lb.step.get());
  if (sgn(sum - int32_t(lb.to.get())) == int32_t(lb.dir.get())) {
    lb.back.reset();
    return ii_adv(pc, 8);
  }
  if (sum < INT32_MIN || sum > INT32_MAX) return ii_fail(b, s, kIiErrRuntime);
  rec::view<rec::U32>(s->addr[0]) = uint32_t(int32_t(sum));
  return lb.back.get();
}

// ------------------------------------------------------ labels --
uint8_t* inst_goto(IlfExecBlock*, IlfState*, uint8_t* pc) { return ii_at(pc + 4); }

MmPool ii_pool() { return mm_create_pool(" IIPOOL    ", com.base_scope, 0); }

}  // namespace

// The first GOSUBs stay in the state; past them, an entry that RETURN
// gave back is used again before a new one is taken from the pool: a GOSUB
// in a loop allocates once.
void ii_gosub_push(IlfState* s, uint8_t* ret, uint32_t mask) {
  if (s->gosubs < IlfState::kGosubNear) [[likely]] {
    s->near[s->gosubs++] = {ret, mask};
    return;
  }
  IiGosub* g = s->spare;
  if (g)
    s->spare = static_cast<IiGosub*>(g->link.next.get());
  else
    g = static_cast<IiGosub*>(MM_ALLOC(ii_pool(), sizeof(IiGosub)));
  std::memset(g, 0, sizeof *g);
  g->ret.set(ret);
  g->mask = mask;
  ut_add_to_lst(&s->gosub, g, &g->link);
  ++s->gosubs;
}

namespace {

// GOSUB: at most kIiGosubDepth entries are open at once (a recursion
// without end would take the whole arena); one more is 300420.
uint8_t* inst_gosub(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (s->gosubs >= kIiGosubDepth) return ii_fail(b, s, kIiErrGosub);
  ii_gosub_push(s, ii_at(pc + 8), s->mask);
  s->mask = 0x3FF;
  return ii_next(b, s, ii_at(pc + 4));
}

uint8_t* inst_return(IlfExecBlock* b, IlfState* s, uint8_t*) {
  uint32_t n = s->gosubs;
  if (n == 0) return ii_fail(b, s, kIiErrReturn);
  if (n <= IlfState::kGosubNear) [[likely]] {
    s->gosubs = n - 1;
    s->mask = s->near[n - 1].mask;
    return ii_next(b, s, s->near[n - 1].ret);
  }
  auto* g = static_cast<IiGosub*>(s->gosub.last.get());
  if (!g) return ii_fail(b, s, kIiErrReturn);
  ut_remove_from_lst(&s->gosub, g, &g->link);
  --s->gosubs;
  uint8_t* to = g->ret.get();
  s->mask = g->mask;
  g->link.next.set(s->spare);
  s->spare = g;
  return ii_next(b, s, to);
}

uint8_t* inst_overflow(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->err_trap = ii_ref(pc + 4);
  return ii_adv(pc, 8);
}

// TIMEOUT: the label and whole seconds from register 1 (negative: 0).
uint8_t* inst_timeout(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbTimeout>(pc);
  const uint8_t* p = s->addr[0];
  int64_t secs = 0;
  if (p && in.type == kIiBin) {
    int len = in.len;
    uint32_t w = len == 1 ? p[0] : len == 2 ? uint32_t(p[0] | p[1] << 8) : rec::view<rec::U32>(const_cast<uint8_t*>(p)).get();
    if (in.is_signed) secs = len == 1 ? int8_t(w) : len == 2 ? int16_t(w) : int32_t(w);
    else secs = w;
  } else if (p) {
    uint8_t v[16];
    int len = in.len, scale = 0;
    int dl = in.type == kIiPdVar ? len - 1 : len;
    if (in.type == kIiPdVar) scale = int8_t(p[len - 1]);
    bool ok = scale >= kIiMinScale && scale <= kIiMaxScale && dl >= 1 && pd_set(v, 16, p, dl) &&
              pd_shft(v, 16, -scale);
    secs = ok ? pd_cvb64(v, 16, &ok) : 0;
    if (!ok) secs = 0;
  }
  s->timeout_label = ii_ref(pc + 4);
  s->timeout_secs = int32_t(std::clamp<int64_t>(secs, 0, INT32_MAX));
  return ii_adv(pc, 12);
}
uint8_t* inst_timeout_clr(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->timeout_label = nullptr;
  s->timeout_secs = -1;
  return ii_adv(pc, 4);
}

// ------------------------------------------------------ leaving --
uint8_t* inst_exit(IlfExecBlock* b, IlfState* s, uint8_t*) {
  ii_end_ep(b, s);
  ut_unwind(b->pcb && b->pcb->invoc.kind == 0 ? 3 : 2);
}
uint8_t* inst_end_proc(IlfExecBlock* b, IlfState* s, uint8_t*) {
  ii_end_ep(b, s);
  ut_unwind(2);
}
uint8_t* inst_logout(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  ii_end_ep(b, s);
  ut_unwind(rec::view<IbLogout>(pc).flag == 1 ? 25 : 24);
}
uint8_t* inst_exit_cond(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (((s->mask >> 8) & 3) != rec::view<IbCond>(pc).value) return ii_adv(pc, 12);
  b->result_mask = s->mask;
  ii_end_ep(b, s);
  return ii_stop(s);
}
uint8_t* inst_br_cond(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  if (((s->mask >> 8) & 3) != rec::view<IbCond>(pc).value) return ii_adv(pc, 12);
  return ii_at(pc + 8);
}


// ------------------------------------------------ invocations and calls --
constexpr const char* kMod = "IICTL.C";

// Sets the statement's truth level.
void set_level(IlfState* s, uint32_t shift, bool value) { s->mask = ii_set_tf(s->mask, value ? 1 : 2, shift); }

// A failed invocation or RUN: the text, then the failure mode (1 a
// warning, 2 an error, 3 cancel: OPTION 278 and the event point unwinds
// with 3).
void failure(IlfExecBlock* b, IlfState* s, const char* text, int mode) {
  Pcb* pcb = b->pcb;
  if (mode == 1 || mode == 2) {
    add_wrn_err(pcb, text, std::strlen(text), mode == 1 ? 1 : 2);
    if (mode == 1) ++b->warnings;
    else ++b->errors;
  } else if (mode == 3) {
    if (PcbStatus* st = pcb_status(pcb)) st->option = 278;
    ii_end_ep(b, s);
    ut_unwind(3);
  }
}

const char* invoc_failed_text(int type) {
  switch (type) {
    case 1: return "MENU FAILED";
    case 2: return "INPUT FAILED";
    case 3: return "OUTPUT FAILED";
    case 4: return "ACTION FAILED";
    case 5: return "QUERY FAILED";
    case 6: return "SUBROUTINE FAILED";
    default: return "INVOCATION FAILED";
  }
}

// An invocation statement: the child runs through the process runner; the
// statement is false only when the child died of a memory fault (37).
uint8_t* inst_invoc(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  const auto& in = rec::view<IbInvoc>(pc);
  Pcb* pcb = b->pcb;
  PiInvoc v;
  os_invoc_template(&v);
  if (in.kind == 0 && pcb) {
    v.surface1 = pcb->surface1;
    v.surface2 = pcb->surface2;
  }
  auto* st = pcb ? pi_area_rec<PdStatus>(pcb, kPcbStatusArea) : nullptr;
  // NEXT APPLICATION and NEXT VERSION serve one invocation.
  if (!in.app.blank()) v.app = in.app;
  else if (st) v.app = st->next_app;
  if (st && in.app.blank()) st->next_app.clear();
  if (st && !st->next_ver.blank()) {
    v.ver = st->next_ver;
    st->next_ver.clear();
  } else if (pcb) {
    v.ver = pcb->invoc.ver;
  }
  v.type = in.type;
  if (!in.name.blank()) v.name = in.name;
  else if (st) v.name = st->next_proc;
  v.kind = in.kind;
  v.caller_mode = in.replace == '1' ? 2 : 1;
  if (pcb) v.parent_pcb.set(pcb);
  uint32_t shift = in.shift;
  uint8_t fail_mode = in.fail, type = in.type;
  uint8_t* next = ii_adv(pc, 52);
  pi_exec(&v);
  if (v.completion == 37) {
    ss_reset_sig_handler();
    set_level(s, shift, false);
    failure(b, s, invoc_failed_text(type), fail_mode);
  } else {
    set_level(s, shift, true);
  }
  return next;
}

// ----------------------------------------------------------- the PIF --
FmArb* pif_of(Pcb* pcb) {
  FmArb* f = pcb ? pcb->pif.get() : nullptr;
  return f && fm_is_handle(f) ? f : nullptr;
}
std::vector<PifRec> pif_records(Pcb* pcb) {
  std::vector<PifRec> v;
  FmArb* f = pif_of(pcb);
  if (!f) return v;
  f->key_no = 0;
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(f, 0)) {
    PifRec r;
    std::memcpy(static_cast<void*>(&r), p, sizeof r);
    v.push_back(r);
  }
  f->op = 0;
  return v;
}
void pif_clear(Pcb* pcb) {
  FmArb* f = pif_of(pcb);
  if (f && !fm_del_all(f)) checkstat(f->status, "Bad pif del all", kMod, __LINE__);
}
// The current address of a passed item: its area's word plus its offset,
// or (a constant, byte 30) its own address.
uint8_t* pif_addr(const PifRec& r) {
  if (r.b30[0] == 1) return static_cast<uint8_t*>(arena::at(r.ira));
  auto* word = static_cast<uint8_t*>(arena::at(r.ira));
  uint8_t* a = word ? ii_ref(word) : nullptr;
  return a ? a + r.offset.get() : nullptr;
}
bool is_alpha(int t) { return t == 1 || t == 2 || t == 13; }
bool is_date(int t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }
// The open handle of a passed file (the second word of its control area).
FmArb* pif_file(const PifRec& r) {
  uint8_t* a = pif_addr(r);
  if (!a) return nullptr;
  auto* f = static_cast<FmArb*>(static_cast<void*>(ii_ref(a + 4)));
  return f && fm_is_handle(f) ? f : nullptr;
}

// PASS: the instruction's record, sequence highest + 1 (2 in an empty
// file), into the PIF, created on the process's first PASS.
uint8_t* inst_pass(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  Pcb* pcb = b->pcb;
  if (!pcb) return ii_adv(pc, 36);
  FmArb* f = pif_of(pcb);
  if (!f) {
    FmFdb fdb;
    static auto* kdb = static_cast<FmKdb*>(arena::alloc_chunk(sizeof(FmKdb)));
    static auto* sdb = static_cast<FmSdb*>(arena::alloc_chunk(sizeof(FmSdb)));
    INIT_PIF_FDB(&fdb, kdb, sdb);
    int ok = FM_CREATE(&fdb, pcb->pool_scope ? int(pcb->pool_scope) : int(com.proc_scope), 16, 0, 15, 15);
    if (!ok) {
      checkstat(fdb.status, "pif file create failed", kMod, __LINE__);
      ii_end_ep(b, s);
      return ii_stop(s);
    }
    f = fdb.handle.get();
    pcb->pif.set(f);
  }
  uint32_t high = kPifFirstSeq - 1;
  for (const PifRec& r : pif_records(pcb)) high = std::max<uint32_t>(high, r.seq);
  if (rec::view<PifRec>(pc + 4).b30[0] == 1 && !s->addr[0]) return ii_no_field(b, s, "inst_pass");
  // The record goes to the file from the arena.
  static PifRec* r = static_cast<PifRec*>(arena::alloc_chunk(sizeof(PifRec)));
  std::memcpy(static_cast<void*>(r), pc + 4, sizeof *r);
  r->seq = high + 1;
  // A constant: register 1 holds its address.
  if (r->b30[0] == 1) r->ira = arena::offset_of(s->addr[0]);
  f->op = 0;
  f->key_no = 0;
  f->rec.set(reinterpret_cast<uint8_t*>(r));
  f->rec_len = 0;
  int ok = fm_write(f);
  f->rec.reset();
  if (!ok) {
    checkstat(f->status, "can't write pif", kMod, __LINE__);
    ii_end_ep(b, s);
    return ii_stop(s);
  }
  return ii_adv(pc, 36);
}

// RUN's text of a parameter (stuff_param): by its data type.
std::string ptos(const uint8_t* p, int len, int scale) {
  std::string digits;
  for (int i = 0; i < len; ++i) {
    digits += char('0' + (p[i] >> 4));
    if (i + 1 < len) digits += char('0' + (p[i] & 0xF));
  }
  bool neg = len > 0 && (p[len - 1] & 0xF) != com.pd_pos;
  if (scale < 0) digits.append(size_t(-scale), '0');
  if (scale > 0) {
    if (digits.size() <= size_t(scale)) digits.insert(0, size_t(scale) + 1 - digits.size(), '0');
    digits.insert(digits.size() - size_t(scale), ".");
  }
  size_t lead = 0;
  while (lead + 1 < digits.size() && digits[lead] == '0' && digits[lead + 1] != '.') ++lead;
  digits.erase(0, lead);
  return (neg ? "-" : "") + digits;
}
std::string stuff_param(const PifRec& r) {
  int type = int(r.type.get() & 0xFF), len = int(r.len.get());
  if (r.kind == 2) {
    FmArb* f = pif_file(r);
    FmName n{nullptr, 0};
    if (f && fm_nam(f, &n) && n.text) return std::string(n.text, n.len);
    return "<invalid file>";
  }
  const uint8_t* p = pif_addr(r);
  if (!p || len <= 0) return {};
  if (is_alpha(type)) {
    std::string t(reinterpret_cast<const char*>(p), size_t(len));
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
  }
  switch (type) {
    case 5: return std::to_string(ii_read_bin(p, len, true));
    case 6: case 7: {
      std::string t = std::to_string(rec::view<rec::U32>(const_cast<uint8_t*>(p)).get());
      if (len >= 5) t += std::to_string(rec::view<rec::U32>(const_cast<uint8_t*>(p) + 4).get());
      return t;
    }
    case 8: return ptos(p, len, 0);
    case 12: return len >= 2 ? ptos(p, len - 1, int8_t(p[len - 1])) : std::string();
    case 11: return std::string(1, char(p[0]));
    default: return {};
  }
}

// The text of register 1 up to its last non-blank within len bytes.
std::string reg_text(IlfState* s, uint32_t len) {
  const uint8_t* p = s->addr[0];
  if (!p) return {};
  size_t n = len;
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == 0)) --n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

uint8_t* inst_run(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  const auto& in = rec::view<IbRun>(pc);
  Pcb* pcb = b->pcb;
  uint32_t shift = in.shift;
  uint8_t fail_mode = in.fail;
  uint8_t* next = ii_adv(pc, 16);
  std::vector<std::string> params;
  for (const PifRec& r : pif_records(pcb)) params.push_back(stuff_param(r));
  std::string text = reg_text(s, in.len), cmd;
  bool fits = ii_run_command(text.data(), text.size(), params, &cmd);
  pif_clear(pcb);
  if (!fits) {
    set_level(s, shift, false);
    failure(b, s, "RUN FAILED", fail_mode);
    return next;
  }
  auto* st = pcb ? pi_area_rec<PdStatus>(pcb, kPcbStatusArea) : nullptr;
  bool keep_screen = st && st->new_page_after.data()[0] == '0';
  if (!keep_screen) wm_suspend();
  int status = 0;
  bool started = os_spawn(cmd, &status);
  if (keep_screen) st->new_page_after.set(" ");
  else wm_resume();
  if (auto* a3 = pcb ? pi_area_rec<PdArea3>(pcb, 3) : nullptr) a3->call_result = status;
  set_level(s, shift, started);
  if (!started) failure(b, s, "RUN FAILED", fail_mode);
  return next;
}

// CALL: a function of the engine (',' with the PCB first, '.' without) or
// of a library ("library,function"), with one argument word per PIF record.
uint8_t* inst_call(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  const auto& in = rec::view<IbCall>(pc);
  Pcb* pcb = b->pcb;
  uint32_t shift = in.shift;
  bool keep = in.keep != 0;
  uint8_t* next = ii_adv(pc, 16);
  std::string text = reg_text(s, in.len);
  size_t lead = 0;
  while (lead < text.size() && text[lead] == ' ') ++lead;
  text.erase(0, lead);
  IiIntFn ifn = nullptr;
  void* lib_fn = nullptr;
  bool with_pcb = false;
  if (!text.empty() && (text[0] == ',' || text[0] == '.')) {
    with_pcb = text[0] == ',';
    std::string key = text.substr(1);
    size_t k = 0;
    while (k < key.size() && key[k] == ' ') ++k;
    key.erase(0, k);
    ifn = ii_find_ifn(key.c_str());
  }
  bool resident = text.find('%') != std::string::npos;
  if (!ifn) {
    with_pcb = false;
    if (text.find(',') == std::string::npos || !ss_dyn_load(text, &lib_fn) || !lib_fn) {
      // A library found without the function does not stay loaded.
      if (text.find(',') != std::string::npos && !resident && !keep) ss_dyn_free(text);
      set_level(s, shift, false);
      return next;
    }
  }
  // The argument words: pointers (fields, copies, the PCB, handles) and
  // values.
  struct Word {
    intptr_t v;
    bool ptr;
  };
  std::vector<Word> words;
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  struct PoolGuard {
    MmPool p;
    ~PoolGuard() { mm_destroy_pool(p); }
  } guard{pool};
  auto copy = [&](const uint8_t* p, size_t n, bool zero) {
    auto* c = static_cast<uint8_t*>(MM_ALLOC(pool, n + 1));
    if (p && n) std::memcpy(c, p, n);
    c[n] = 0;
    (void)zero;
    return c;
  };
  auto ptr_word = [&](const void* p) { words.push_back({reinterpret_cast<intptr_t>(p), true}); };
  if (with_pcb) ptr_word(pcb);
  std::vector<PifRec> recs = pif_records(pcb);
  for (const PifRec& r : recs) {
    int kind = r.kind, type = int(r.type.get() & 0xFF);
    size_t len = r.len.get();
    bool by_ref = r.by_ref == 1;
    uint8_t* p = pif_addr(r);
    if (kind == 1 || kind == 5 || kind == 7) {
      if (by_ref) {
        if (is_alpha(type) || type == 5 || type == 11 || type == 8 || type == 12 || is_date(type)) {
          ptr_word(p);
          continue;
        }
      } else if (is_alpha(type)) {
        ptr_word(copy(p, len, true));
        continue;
      } else if (type == 5) {
        bool sgn = (r.type.get() & 0x100) != 0;
        int64_t v = p ? ii_read_bin(p, int(len), len >= 4 && sgn) : 0;
        words.push_back({intptr_t(v), false});
        continue;
      } else if (type == 11) {
        words.push_back({intptr_t(p ? p[0] : 0), false});
        continue;
      } else if (type == 8 || type == 12 || is_date(type)) {
        ptr_word(copy(p, len, false));
        continue;
      }
      os_sys_err_text(kMod, __LINE__, "iictl.c, inst_call entered default in switch");
      set_level(s, shift, false);
      return next;
    }
    if (kind == 2) {
      FmArb* f = pif_file(r);
      if (ifn || resident) {
        ptr_word(f);
      } else {
        FmName n{nullptr, 0};
        std::string name = f && fm_nam(f, &n) && n.text ? std::string(n.text, n.len) : std::string();
        ptr_word(copy(reinterpret_cast<const uint8_t*>(name.data()), name.size(), true));
      }
      continue;
    }
    if (kind == 3 || kind == 4 || kind == 6) {
      ptr_word(by_ref ? p : copy(p, len, false));
      continue;
    }
    os_sys_err_text(kMod, __LINE__, "iictl.c, inst_call entered default in outer switch");
    set_level(s, shift, false);
    return next;
  }
  if (words.size() > size_t(kOsCallMax)) {
    // Nothing is called with more words than a call takes: no argument is
    // dropped silently.
    char w[96];
    std::snprintf(w, sizeof w, "CALL %.40s: %zu arguments, at most %d", text.c_str(), words.size(), kOsCallMax);
    add_wrn_err(pcb, w, std::strlen(w), 1);
    ++b->warnings;
    pif_clear(pcb);
    set_level(s, shift, false);
    return next;
  }
  int32_t result = 0;
  if (ifn) {
    std::vector<uint32_t> a{uint32_t(words.size())};
    for (const Word& w : words)
      a.push_back(w.ptr ? (w.v ? arena::offset_of(reinterpret_cast<const void*>(w.v)) : 0u) : uint32_t(w.v));
    result = ifn(a.data());
  } else {
    std::vector<intptr_t> a{intptr_t(words.size())};
    for (const Word& w : words) a.push_back(w.v);
    result = os_call(a.data(), lib_fn);
    if (!resident && !keep) ss_dyn_free(text);
  }
  if (auto* a3 = pi_area_rec<PdArea3>(pcb, 3)) a3->call_result = result;
  pif_clear(pcb);
  set_level(s, shift, result != 0);
  return next;
}


// --------------------------------------------- the internal functions --
// `int_fns_tbl`, in table order. Functions of subsystems not built yet
// answer 0 (false); the entries that no subsystem specifies answer 0 with
// a warning that names them.
const char* const kIntFns[] = {
    "IE_INIT", "IE_EDIT", "SE_EDIT", "DD_CMPL", "DB_RESTRUCT", "RT_SLCT_AP", "RT_SLCT_DB", "PL_GEN_NAM",
    "MU_INIT", "MU_XLATE", "RT_CREATE", "RT_SCRATCH", "CV_XLATE_DAT_MSK", "CV_UNXLATE_DAT_MSK",
    "RT_SCAN_SETUP", "RT_POPULATE_SCAN", "RT_SCAN_CLEANUP", "PL_BLD", "PL_SCRATCH", "RT_PRINT_SETUP",
    "RT_POPULATE_PRINT", "RT_ACT_LOG", "OP_UPD_CHR", "FP_UPD_CHR", "SC_STMT_LIST", "RT_GETENV",
    "RT_GET_ITM_SIZE", "RT_GET_STATS", "RT_CHANGE_PHASE", "RT_SECR_BITS", "RT_VERSION", "RT_GET_PATH",
    "CV_XLATE_NUM_MSK", "CV_UNXLATE_NUM_MSK", "PB_VALID_EXPR", "RT_START_TRACE", "RT_STOP_TRACE",
    "RT_SEND_FILE", "RT_RECV_FILE", "MM_ALLOC_INFO", "RT_SCAN_PRINT", "RT_GET_AP", "RT_GET_VER",
    "RT_GET_PROC_NAM", "RT_GET_PROC_TYPE", "RT_GET_FRM_CLASS", "RT_GET_FRM_SNO", "RT_GET_ALT_IMG_NO",
    "RT_GETPARAM", "RT_KEATERM_EXEC", "RT_VPAN", "RT_PAN", "RT_WIDE_SCREEN", "RT_SCREEN_SIZE", "RT_KEAGET",
    "RT_KEAPUT", "RT_SLEEP", "RT_SET_TIMEOUT", "RT_OPEN_STREAM", "RT_WRITE_STREAM", "RT_READ_STREAM",
    "RT_CLOSE_STREAM", "RT_SET_QUVO", "RT_SET_UID", "DBG_WATCH", "DBG_POPULATE_WATCH", "DBG_CLEANUP_WATCHES",
    "UT_SET_PASS", "UT_GET_PASS", "RT_POPULATE_STACK", "RT_PARSE_CGIDATA", "RT_IMPORT_CGIDATA", "RT_LOAD_URL",
    "RT_CLI_CREATE_OBJECT", "RT_CLI_INVOKE_METHOD", "RT_CLI_DESTROY_OBJECT", "RT_CLI_WAIT_FOR_EVENT",
    "RT_CHECK_CLI_FEATURE", "PI_DYNA_BLD", "BRFANAL", "RT_PRT_BROWSE", "DB_VFY", "SP_GET_SCAN_FIS",
    "SP_SET_SCAN_FI", "SP_GET_SCAN_PATHS", "SP_SET_SCAN_PATH", "SP_GET_SCAN_FLDS", "SP_SET_SCAN_FLDS",
    "SP_GET_INFO", "SP_SET_INFO", "SP_SCAN_START", "SP_POPULATE_SCAN", "SP_SCAN_CLEANUP", "SP_GET_START_VALS",
    "DBG_FIND_NOTE"};
constexpr size_t kNIntFns = sizeof kIntFns / sizeof kIntFns[0];
// The entries without a specification of their own.
bool unspecified(const char* n) {
  for (const char* u : {"CV_XLATE_DAT_MSK", "CV_UNXLATE_DAT_MSK", "CV_XLATE_NUM_MSK", "CV_UNXLATE_NUM_MSK",
                        "MM_ALLOC_INFO", "UT_SET_PASS", "UT_GET_PASS", "DBG_FIND_NOTE", "BRFANAL"})
    if (std::strcmp(n, u) == 0) return true;
  return false;
}
template <size_t I>
int32_t unbuilt_fn(const uint32_t*) {
  if (unspecified(kIntFns[I])) {
    std::string w = std::string("internal function ") + kIntFns[I] + " is not available";
    la_sys_err(w.c_str(), 0);
  }
  return 0;
}
template <size_t... I>
constexpr std::array<IiIntFn, sizeof...(I)> unbuilt_fns(std::index_sequence<I...>) {
  return {&unbuilt_fn<I>...};
}
constexpr auto kUnbuilt = unbuilt_fns(std::make_index_sequence<kNIntFns>{});

void register_int_fns() {
  for (size_t i = 0; i < kNIntFns; ++i)
    if (!ii_find_ifn(kIntFns[i]))
      ii_register_ifn(kIntFns[i], std::strcmp(kIntFns[i], "SC_STMT_LIST") == 0 ? sc_stmt_list : kUnbuilt[i]);
}

}  // namespace

void ii_ctl_init() {
  ii_set_pair(0, inst_loop_cnv);
  ii_set_pair(2, inst_beg_loop_pd);
  ii_set_pair(4, inst_beg_loop_bin);
  ii_set_pair(8, ii_set_addr_len);
  ii_set_pair(12, inst_end_loop_pd);
  ii_set_pair(14, inst_end_loop_bin);
  ii_set_pair(16, inst_exit);
  ii_set_pair(18, inst_gosub);
  ii_set_pair(20, inst_goto);
  ii_set_pair(24, inst_overflow);
  ii_set_pair(30, inst_return);
  ii_set_pair(34, inst_timeout);
  ii_set_pair(36, inst_exit_cond);
  ii_set_pair(38, inst_br_cond);
  ii_set_pair(42, inst_end_proc);
  ii_set_pair(44, inst_logout);
  ii_set_pair(46, inst_timeout_clr);
  ii_set_pair(40, inst_invoc);
  ii_set_pair(32, inst_run);
  ii_set_pair(6, inst_call);
  ii_set_pair(26, inst_pass);
  register_int_fns();
}

bool ii_run_command(const char* text, size_t len, const std::vector<std::string>& params, std::string* out) {
  std::string& c = *out;
  c.clear();
  size_t n = params.size(), last = 0;  // the last parameter used, 1-based
  auto word = [&](size_t i) { c += os_shell_quote(params[i - 1]); };
  for (size_t i = 0; i < len; ++i) {
    unsigned char ch = static_cast<unsigned char>(text[i]);
    if (ch == '\\' && i + 1 < len && text[i + 1] == '$') {
      c += '$';
      ++i;
    } else if (ch == '$' && i + 1 < len && text[i + 1] == '*') {
      for (size_t k = last + 1; k <= n; ++k) {
        word(k);
        c += ' ';
      }
      last = n;
      ++i;
    } else if (ch == '$' && i + 1 < len && text[i + 1] >= '0' && text[i + 1] <= '9') {
      size_t j = i + 1, v = 0;
      bool big = false;
      while (j < len && text[j] >= '0' && text[j] <= '9') {
        v = v * 10 + size_t(text[j] - '0');
        if (v > n) big = true;
        ++j;
      }
      if (!big && v >= 1 && v <= n) {
        word(v);
        last = v;
      }
      i = j - 1;
    } else if (ch == '$') {
      ++i;  // the dollar sign and the character after it are dropped
    } else if (ch == com.para_mark) {
      // the paragraph mark is dropped
    } else {
      c += char(ch);
    }
    if (c.size() > kRunMaxCommand) return false;
  }
  return true;
}

void ii_loop_begun(IlfState* s, uint8_t* blk, uint8_t* back) {
  s->last_loop = {blk, back};
  s->last_memo = &memo_of(s, blk);
  for (uint32_t i = 0; i < s->nloops; ++i)
    if (s->loops[i].blk == blk) {
      s->loops[i].back = back;
      return;
    }
  // Code of this compiler has one block per letter and kind; a module of
  // more only finds its older loops forgotten (their END LOOP fails).
  s->loops[s->nloops < IlfState::kLoops ? s->nloops++ : 0] = {blk, back};
}

bool ii_loop_back_ok(IlfState* s, uint8_t* blk, const uint8_t* back) {
  if (s->last_loop.blk == blk) return s->last_loop.back == back;
  for (uint32_t i = 0; i < s->nloops; ++i)
    if (s->loops[i].blk == blk) {
      s->last_loop = s->loops[i];
      s->last_memo = &memo_of(s, blk);
      return back == s->loops[i].back;
    }
  return false;
}
