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
#include <climits>
#include <cstring>

#include "foundation/mm.h"
#include "foundation/pd.h"
#include "language/ibctl.h"
#include "language/iiutil.h"
#include "process/pcb.h"

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

uint8_t* inst_beg_loop_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* blk = loop_block(pc, 8);
  if (!blk) return ii_no_field(b, s, "inst_beg_loop_pd");
  auto& lb = rec::view<IiLoopPd>(blk);
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

uint8_t* inst_end_loop_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* blk = loop_block(pc, 4);
  if (!blk) return ii_no_field(b, s, "inst_end_loop_pd");
  auto& lb = rec::view<IiLoopPd>(blk);
  uint8_t* back = ii_ref(reinterpret_cast<const uint8_t*>(&lb.back));  // (no call for the arena's base)
  if (!back || !ii_loop_back_ok(s, blk, back)) return ii_fail(b, s, kIiErrLoop);
  uint8_t* var = s->addr[0];
  int dir = int8_t(lb.dir.get());
  if (lb.all_int && var[8] == 0) {  // the common case: 8-byte integers
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
      return ii_loop_back(b, s, pc, back);
    }
  }
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

// SET_ADDR_LEN; the END LOOP that usually follows it runs from here (not
// while the loop looks at every instruction).
uint8_t* inst_set_addr_len(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbAddrLen>(pc);
  int r = in.reg >= 1 && in.reg <= 4 ? in.reg - 1 : 3;
  s->len[r] = in.len;
  uint8_t* next = ii_adv(pc, 6);
  if (rec::view<IbInst>(next).op.get() != 13 || ii_slow(s)) return next;
  s->pc = next;
  ++s->count;  // the instruction it stands for, for the loop's yield
  return inst_end_loop_pd(b, s, next);
}

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

// GOSUB: at most kIiGosubDepth entries are open at once (a recursion
// without end would take the whole arena); one more is 300420.
uint8_t* inst_gosub(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (s->gosubs >= kIiGosubDepth) return ii_fail(b, s, kIiErrGosub);
  auto* g = static_cast<IiGosub*>(MM_ALLOC(ii_pool(), sizeof(IiGosub)));
  std::memset(g, 0, sizeof *g);
  g->ret.set(ii_at(pc + 8));
  g->mask = s->mask;
  ut_add_to_lst(&s->gosub, g, &g->link);
  ++s->gosubs;
  s->mask = 0x3FF;
  return ii_at(pc + 4);
}

uint8_t* inst_return(IlfExecBlock* b, IlfState* s, uint8_t*) {
  auto* g = static_cast<IiGosub*>(s->gosub.last.get());
  if (!g) return ii_fail(b, s, kIiErrReturn);
  ut_remove_from_lst(&s->gosub, g, &g->link);
  --s->gosubs;
  uint8_t* to = g->ret.get();
  s->mask = g->mask;
  mm_free(g);
  return to;
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

}  // namespace

void ii_ctl_init() {
  ii_set_pair(0, inst_loop_cnv);
  ii_set_pair(2, inst_beg_loop_pd);
  ii_set_pair(4, inst_beg_loop_bin);
  ii_set_pair(8, inst_set_addr_len);
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
}

void ii_loop_begun(IlfState* s, uint8_t* blk, uint8_t* back) {
  s->last_loop = {blk, back};
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
      return back == s->loops[i].back;
    }
  return false;
}
