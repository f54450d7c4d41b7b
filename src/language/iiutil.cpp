// Register loads, truth-mask branches and the moves every family shares
// (ibutil.h gives the layouts), and the registration of the families.
#include "language/iiutil.h"
#include "language/iiimg.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "foundation/cv.h"
#include "foundation/cvdat.h"
#include "foundation/os.h"
#include "foundation/pd.h"
#include "language/ibfi.h"
#include "language/ibutil.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pipcf.h"

namespace {
constexpr const char* kMod = "IIUTIL.C";

uint8_t* sys_fail(IlfExecBlock* b, IlfState* s, int line, const char* text) {
  os_sys_err_text(kMod, line, text);
  ii_end_ep(b, s);
  return ii_stop(s);
}

int op_reg(const uint8_t* pc, uint16_t base) { return (rec::view<IbInst>(pc).op.get() - base) / 2; }

// ABORT: the run-time error it carries.
uint8_t* inst_abort(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  return ii_fail(b, s, rec::view<IbAbort>(pc).msg);
}
// CNST_n, IRA_n: address register n.
uint8_t* inst_cnst(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  s->addr[op_reg(pc, 52) & 3] = ii_ref(pc + 4);
  return ii_next(b, s, ii_adv(pc, 8));
}
uint8_t* inst_ira(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* f = ii_field(pc + 4);
  if (!f) [[unlikely]]
    return ii_no_field(b, s, "inst_ira");
  s->addr[op_reg(pc, 60) & 3] = f;
  return ii_next(b, s, ii_adv(pc, 8));
}
// CNST_2 and IRA_2, register 2 alone; a COMPUTE's first operand after
// them (COMPUTE_OPRND, its statement's next step) runs from here as the
// loop would run it next, counted for the loop's yield.
template <bool Cnst>
uint8_t* inst_reg_2(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* f;
  if (!ii_load_reg(pc, Cnst, &f)) [[unlikely]]
    return ii_no_field(b, s, "inst_ira");
  s->addr[1] = f;
  uint8_t* next = ii_adv(pc, 8);
  if ((ii_op(next) | 1) == 711 && !ii_slow(s)) {
    s->pc = next;
    ++s->count;  // the instruction it stands for, for the loop's yield
    return ii_compute_oprnd(b, s, next);
  }
  return ii_next(b, s, next);
}
uint8_t* inst_ira_occ(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbIraOcc>(pc);
  uint8_t* f = ii_field(pc + 4);
  if (!f) return ii_no_field(b, s, "inst_ira_occ");
  s->addr[op_reg(pc, 68) & 3] = f + size_t(in.occ.get() - 1) * in.elem_len.get();
  return ii_next(b, s, ii_adv(pc, 16));
}
}  // namespace

uint32_t ii_occ_last(const IlfState* s, const IbOcc& in, const uint8_t* base) {
  if (in.max != 0) return in.max;
  const EmHeader* em = s->module;
  const uint8_t* table = em ? em->area_table.get() : nullptr;
  const Ref<uint8_t>* addr = em ? em->area_addr.get() : nullptr;
  constexpr uint32_t kAny = 65535;
  if (!table || !addr) return kAny;
  size_t len = in.elem_len;
  for (uint32_t i = 0; i <= em->n_areas; ++i) {
    const auto& e = rec::view<EmAreaEntry>(const_cast<uint8_t*>(table) + sizeof(EmAreaEntry) * i);
    uint32_t ix = e.index;
    const uint8_t* area = ix <= em->n_areas ? addr[ix].get() : nullptr;
    if (!area || base < area || base >= area + e.size.get()) continue;
    // Element n ends at base + n len: within the area up to (end - base) / len.
    return len == 0 ? kAny : uint32_t(std::min<size_t>(kAny, size_t(area + e.size.get() - base) / len));
  }
  return kAny;
}

namespace {

// OCC_PD, OCC_BIN: the register moves to the occurrence the field names;
// one below 1 or past ii_occ_last is 102710.
uint8_t* occ(IlfExecBlock* b, IlfState* s, uint8_t* pc, int64_t n) {
  auto& in = rec::view<IbOcc>(pc);
  int reg = in.reg;
  if (reg < 1 || reg > 4) return sys_fail(b, s, __LINE__, "inst_occ_pd() - unexpected case switch");
  if (n < 1 || n > int64_t(ii_occ_last(s, in, s->addr[reg - 1]))) return ii_fail(b, s, kIiErrOcc);
  s->addr[reg - 1] += size_t(n - 1) * in.elem_len.get();
  return ii_next(b, s, ii_adv(pc, 16));
}
uint8_t* inst_occ_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  const uint8_t* f = ii_field(pc + 4);
  if (!f) return ii_no_field(b, s, "inst_occ_pd");
  // The integer part: below 1 for any value under 1 (a negative one too).
  return occ(b, s, pc, ii_vc_int(f));
}
uint8_t* inst_occ_bin(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* f = ii_field(pc + 4);
  if (!f) return ii_no_field(b, s, "inst_occ_bin");
  return occ(b, s, pc, int32_t(rec::view<rec::U32>(f).get()));
}

// Truth-mask branches.
uint8_t* inst_tfc(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return ii_next(b, s, ii_tfc(s, pc)); }
uint8_t* inst_tfu(IlfExecBlock*, IlfState*, uint8_t* pc) { return ii_at(pc + 4); }

// CNV_PD: the binary at the register becomes a packed work value.
uint8_t* inst_cnv_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbCnvPd>(pc);
  int reg = in.reg;
  if (reg < 1 || reg > 4) return sys_fail(b, s, __LINE__, "inst_cnv_pd() - unexpected case switch");
  const uint8_t* p = s->addr[reg - 1];
  int64_t v = ii_read_bin(p, in.size, in.is_signed);
  pd_cvp64(s->work[reg - 1], 16, v);
  s->addr[reg - 1] = s->work[reg - 1];
  s->len[reg - 1] = 16;
  return ii_adv(pc, 8);
}

// CMPRS_BIN: work value 2's integer into the binary at r1, range checked.
uint8_t* inst_cmprs_bin(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbCmprsBin>(pc);
  int32_t v = int32_t(rec::view<rec::U32>(s->work[1]).get());
  bool sg = in.is_signed == '1';
  int64_t x = sg ? int64_t(v) : int64_t(uint32_t(v));
  int size = in.size;
  bool ok = sg ? (size == 1 ? x >= -128 && x <= 127 : size == 2 ? x >= -32768 && x <= 32767 : true)
               : (size == 1 ? x <= 254 : size == 2 ? x <= 65534 : x <= 4294967294ll);
  if (!ok) return ii_fail(b, s, kIiErrRuntime);
  for (int i = 0; i < (size == 1 || size == 2 ? size : 4); ++i) s->addr[0][i] = uint8_t(uint32_t(v) >> (8 * i));
  return ii_adv(pc, 6);
}

uint8_t* inst_move_char(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  ii_move(s->addr[0], s->addr[1], rec::view<IbLen2>(pc).a.get());
  return ii_next(b, s, ii_adv(pc, 6));
}
uint8_t* inst_move_char_pad(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbLen2>(pc);
  ii_move(s->addr[0], s->addr[1], in.a.get());
  ii_fill(s->addr[0] + in.a.get(), ' ', in.b.get());
  return ii_next(b, s, ii_adv(pc, 8));
}
// MOVE_PD: packed r2 into packed r1 of another length (1-8 bytes each: the
// digits as they are, pd_set's bytes).
uint8_t* inst_move_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbLen2>(pc);
  int sl = in.a, tl = in.b;
  if (unsigned(sl - 1) < 8u && unsigned(tl - 1) < 8u) [[likely]] {
    uint64_t w = pacdec::load_be(s->addr[1], sl);
    if (!pacdec::rescale_up(w, 2 * tl - 1, 0)) return ii_fail(b, s, kIiErrRuntime);
    pacdec::store_be(s->addr[0], w, tl);
    return ii_next(b, s, ii_adv(pc, 8));
  }
  if (!pd_set(s->addr[0], tl, s->addr[1], sl)) return ii_fail(b, s, kIiErrRuntime);
  return ii_adv(pc, 8);
}
uint8_t* inst_move_log(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  s->addr[0][0] = s->addr[1][0];
  return ii_next(b, s, ii_adv(pc, 4));
}
uint8_t* inst_move_var_log(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  pd_cvp(s->addr[0], 8, s->addr[1][0] == '1' ? 1 : 0);
  s->addr[0][8] = 0;
  return ii_adv(pc, 4);
}
uint8_t* inst_bin_to_log(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  int size = rec::view<IbBinToLog>(pc).size;
  int n = size == 1 || size == 2 ? size : 4;
  bool nz = false;
  for (int i = 0; i < n; ++i) nz |= s->addr[1][i] != 0;
  s->addr[0][0] = nz ? '1' : '0';
  return ii_adv(pc, 6);
}

// Length loads.
uint8_t* inst_ld_len(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->len[op_reg(pc, 152) & 3] = rec::view<IbLdLen>(pc).value;
  return ii_adv(pc, 6);
}
uint8_t* ld_len(IlfExecBlock* b, IlfState* s, uint8_t* pc, int reg, int64_t v) {
  auto& in = rec::view<IbLdLenFld>(pc);
  if (v < 0 || v < in.min.get()) return ii_fail(b, s, 300370);
  if (in.max.get() != 0 && v > in.max.get()) return ii_fail(b, s, 300360);
  s->len[reg] = v >= 65536 ? 65535 : uint16_t(v);
  return ii_adv(pc, 12);
}
uint8_t* inst_ld_len_bin(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* f = ii_field(pc + 4);
  if (!f) return ii_no_field(b, s, "inst_ld_len_bin");
  int32_t v = int32_t(rec::view<rec::U32>(f).get());
  return ld_len(b, s, pc, op_reg(pc, 168) & 3, v);
}
uint8_t* inst_ld_len_pd_var(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* f = ii_field(pc + 4);
  if (!f) return ii_no_field(b, s, "inst_ld_len_pd_var");
  return ld_len(b, s, pc, op_reg(pc, 160) & 3, ii_vc_int(f));
}
uint8_t* inst_offset_reg(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbOffsetReg>(pc);
  uint32_t reg = in.reg;
  if (reg < 1 || reg > 4) return sys_fail(b, s, __LINE__, "inst_offset_reg() - unexpected case switch");
  s->addr[reg - 1] += in.offset.get();
  return ii_adv(pc, 12);
}


// ------------------------------------------------ packed and text moves --
// The moves between packed forms of 1-8 bytes decide in 64 bits what the
// 16-byte path after them does (pd_set, pd_shft, pd_set): a value moves
// as its digit nibbles, shifted to the target's scale (pacdec::rescale_up
// and rescale_down, which round as pd_shft does), with no conversion;
// whatever they refuse (an invalid value, one that does not fit, a scale
// out of bounds) takes the 16-byte path, which gives the error.

// MOVE_FIX_VAR: variable packed r2 into fixed packed r1 at its scale.
[[gnu::noinline]] uint8_t* move_fix_var_any(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbMoveFixVar>(pc);
  int from = int8_t(s->addr[1][8]);
  int len = in.len;
  uint8_t v[16];
  bool ok = from >= kIiMinScale && from <= kIiMaxScale && len >= 1 && len <= 16 && pd_set(v, 16, s->addr[1], 8) &&
            pd_shft(v, 16, int(in.scale.get()) - from) && pd_set(s->addr[0], len, v, 16);
  return ok ? ii_adv(pc, 8) : ii_fail(b, s, kIiErrRuntime);
}
uint8_t* inst_move_fix_var(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbMoveFixVar>(pc);
  int from = int8_t(s->addr[1][8]);
  int len = in.len, k = int(in.scale.get()) - from;
  uint64_t w = pacdec::load8(s->addr[1]);
  if (from >= kIiMinScale && from <= kIiMaxScale && unsigned(len - 1) < 8u && k <= 15 &&
      (k >= 0 ? pacdec::rescale_up(w, 2 * len - 1, k) : pacdec::rescale_down(w, 2 * len - 1, -k))) [[likely]] {
    pacdec::store_be(s->addr[0], w, len);
    return ii_next(b, s, ii_adv(pc, 8));
  }
  return move_fix_var_any(b, s, pc);
}
// A 16-byte value at a scale into variable packed r1: at most 15 digits,
// dropping decimals (truncating); 0 when there are not enough.
bool put_var(uint8_t* target, uint8_t* v, int scale) {
  int d = 0;
  if (SIG_DIGITS(v, 16, &d) < 0) return false;
  if (d > 15) {
    int n = d - 15;
    if (n > scale || !pd_shftn(v, 16, -n)) return false;
    scale -= n;
  }
  uint8_t out[8];
  if (scale > 127 || !pd_set(out, 8, v, 16)) return false;
  std::memcpy(target, out, 8);
  target[8] = uint8_t(scale);
  return true;
}
// MOVE_VAR_FIX: fixed packed r2 into variable packed r1, the
// instruction's scale its scale byte.
uint8_t* inst_move_var_fix(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbMoveVarFix>(pc);
  int len = in.len;
  // A valid value of 1-8 bytes has 15 digits at most: its digits as they
  // are.
  if (unsigned(len - 1) < 8u && in.scale <= 127) [[likely]] {
    uint64_t w = pacdec::load_be(s->addr[1], len);
    if (pacdec::rescale_up(w, 15, 0)) [[likely]] {
      pacdec::store8(s->addr[0], w);
      s->addr[0][8] = uint8_t(in.scale);
      return ii_next(b, s, ii_adv(pc, 6));
    }
  }
  uint8_t v[16];
  bool ok = len >= 1 && len <= 16 && pd_set(v, 16, s->addr[1], len) && put_var(s->addr[0], v, in.scale);
  return ok ? ii_adv(pc, 6) : ii_fail(b, s, kIiErrRuntime);
}
uint8_t* inst_move_var_char(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t v[16];
  PdCva c{v, 16, 0};
  bool ok = pd_cva(reinterpret_cast<const char*>(s->addr[1]), rec::view<IbLen2>(pc).a, '.', &c) &&
            put_var(s->addr[0], v, c.scale);
  return ok ? ii_adv(pc, 6) : ii_fail(b, s, kIiErrRuntime);
}
// MOVE_PD_SHFT: packed r2 into packed r1 at another scale, through work
// value 2, which keeps the shifted value (16 bytes).
uint8_t* inst_move_pd_shft(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbMovePdShft>(pc);
  uint32_t sl = in.src_len, tl = in.tgt_len;
  int k = in.shift.get();
  uint8_t* w = s->work[1];
  if (sl - 1 < 8u && tl - 1 < 8u && k >= -31 && k <= 15) [[likely]] {
    uint64_t x = pacdec::load_be(s->addr[1], int(sl));
    if (k >= 0 ? pacdec::rescale_up(x, int(2 * tl - 1), k) : pacdec::rescale_down(x, int(2 * tl - 1), -k)) {
      std::memset(w, 0, 8);
      pacdec::store8(w + 8, x);
      pacdec::store_be(s->addr[0], x, int(tl));
      return ii_next(b, s, ii_adv(pc, 16));
    }
  }
  bool ok = sl >= 1 && sl <= 16 && tl >= 1 && tl <= 16 && pd_set(w, 16, s->addr[1], int(sl)) &&
            pd_shft(w, 16, k) && pd_set(s->addr[0], int(tl), w, 16);
  return ok ? ii_adv(pc, 16) : ii_fail(b, s, kIiErrRuntime);
}
// MOVE_PD_CHAR: numeric text at r2 into work value n, at the scale.
uint8_t* inst_move_pd_char(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbMovePdChar>(pc);
  int n = in.work;
  if (n < 1 || n > 4) return sys_fail(b, s, __LINE__, "MOVE_PD_CHAR: Bad reg_no");
  uint8_t v[16];
  PdCva c{v, 16, 0};
  bool ok = pd_cva(reinterpret_cast<const char*>(s->addr[1]), in.len, '.', &c) &&
            pd_shft(v, 16, int(in.scale) - c.scale);
  if (!ok) return ii_fail(b, s, kIiErrRuntime);
  std::memcpy(s->work[n - 1], v, 16);
  return ii_adv(pc, 10);
}
uint8_t* inst_move_bin_log(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbMoveBinLog>(pc);
  uint32_t v = 0;
  if (in.digits != 0 && s->addr[1][0] == '1') {
    v = 1;
    for (int i = 0; i < in.scale && i < 9; ++i) v *= 10;
  }
  rec::view<rec::U32>(s->work[1]) = v;
  return ii_adv(pc, 6);
}
uint8_t* inst_move_fix_log(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbMoveFixLog>(pc);
  uint8_t v[16];
  int one = in.digits.get() != 0 && s->addr[1][0] == '1';
  uint32_t len = in.len;
  bool ok = len >= 1 && len <= 16 && pd_cvp(v, 16, one) && pd_shft(v, 16, int(in.scale.get())) &&
            pd_set(s->addr[0], int(len), v, 16);
  return ok ? ii_adv(pc, 16) : ii_fail(b, s, kIiErrRuntime);
}
uint8_t* inst_log_to_alp(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  uint8_t c = s->addr[1][0];
  std::memset(s->work[0], ' ', 32);
  if (c == '1') s->work[0][0] = com.log_true;
  else if (c == '0') s->work[0][0] = com.log_false;
  return ii_adv(pc, 4);
}
uint8_t* inst_alp_to_log(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  uint8_t c = s->addr[1][0];
  auto up = [](uint8_t x) { return uint8_t(x >= 'a' && x <= 'z' ? x - 32 : x); };
  if (c == ' ') s->addr[0][0] = ' ';
  else if (c == '0' || up(c) == up(com.log_false) || up(c) == 'N' || up(c) == 'F') s->addr[0][0] = '0';
  else s->addr[0][0] = '1';
  return ii_adv(pc, 4);
}

// ALP_TO_BIN: numeric text at r2 into work value 2's integer at the scale.
// The number is read in 64 bits: more integer digits than the target has,
// or a value outside 32 bits, is 300540; a negative one for an unsigned
// target 100550.
uint8_t* inst_alp_to_bin(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbAlpToBin>(pc);
  const uint8_t* t = s->addr[1];
  int len = in.len, scale = in.scale, i = 0;
  while (i < len && t[i] == ' ') ++i;
  int64_t v = 0;
  int ints = 0, frac = -1;
  bool neg = false, round = false, done = false;
  for (; i < len; ++i) {
    uint8_t c = t[i];
    if (c == '-') {
      neg = true;
    } else if (c == '.' && frac < 0) {
      frac = 0;
    } else if (c >= '0' && c <= '9') {
      if (done) continue;
      if (frac >= scale) {  // the first digit past the scale rounds
        round = c > '4';
        done = true;
        continue;
      }
      if (frac < 0 && (v != 0 || c != '0')) ++ints;
      if (v > int64_t(1) << 40) return ii_fail(b, s, kIiErrRuntime);
      v = v * 10 + (c - '0');
      if (frac >= 0) ++frac;
    } else {
      break;
    }
  }
  for (int f = frac < 0 ? 0 : frac; f < scale; ++f) {
    if (v > int64_t(1) << 40) return ii_fail(b, s, kIiErrRuntime);
    v *= 10;
  }
  v += round;
  if (in.digits != 0 && ints > in.digits) return ii_fail(b, s, kIiErrRuntime);
  if (neg) v = -v;
  bool sg = in.is_signed == '1';
  if (!sg && v < 0) return ii_fail(b, s, 100550);
  if (sg ? (v < INT32_MIN || v > INT32_MAX) : v > int64_t(UINT32_MAX)) return ii_fail(b, s, kIiErrRuntime);
  rec::view<rec::U32>(s->work[1]) = uint32_t(v);
  return ii_adv(pc, 10);
}

// SET_IF_NULL: a source equal to its null image gives the target its null
// value, and the statement is done.
uint8_t* inst_set_if_null(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbSetIfNull>(pc);
  const uint8_t* img = ii_ref(pc + 16);
  const uint8_t* val = ii_ref(pc + 8);
  if (!img || !val || std::memcmp(s->addr[1], img, in.cmp_len.get()) != 0) return ii_adv(pc, 28);
  std::memmove(s->addr[0], val, in.val_len.get());
  return ii_at(pc + 24);
}

// NUM_TO_ALP: the number at r2 as text in work value 1 under the mask.
uint8_t* inst_num_to_alp(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbNumToAlp>(pc);
  int form = in.form, len = in.src_len, ml = in.mask_len;
  CvNum n{};
  bool ok;
  if (form == 12) ok = cv_num_get(12, s->addr[1], len, 0, true, &n);
  else ok = cv_num_get(form == 6 ? 5 : form, s->addr[1], len, in.scale, form != 6, &n);  // 6: unsigned binary
  char* out = reinterpret_cast<char*>(s->work[0]);
  if (ok) {
    if (ml > 0) ok = num_itoe(reinterpret_cast<const char*>(pc + sizeof(IbNumToAlp)), std::min(ml, 60), n, out, 32);
    else {
      std::memset(out, ' ', 32);
      ok = cv_num_to_universal(n, out, 32);
    }
  }
  // A value wider than the mask's digits (a field holding more than its
  // element says) is a run-time error of the process, not a system error.
  if (!ok) return ii_fail(b, s, kMsgNoFit);
  return ii_adv(pc, sizeof(IbNumToAlp) + size_t(ml));
}

// FMT_ALP: the text of a work value edited into r1 under the mask; length
// register 1 the text's trimmed length.
uint8_t* inst_fmt_alp(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbFmtAlp>(pc);
  int w = in.work == 2 ? 1 : 0, ml = in.mask_len;
  const char* text = reinterpret_cast<const char*>(s->work[w]);
  int tl = 32;
  while (tl > 0 && text[tl - 1] == ' ') --tl;
  s->len[0] = uint16_t(tl);
  uint32_t msg = 0;
  if (!alp_etoi(text, tl, reinterpret_cast<char*>(s->addr[0]), in.len, reinterpret_cast<const char*>(pc + sizeof(IbFmtAlp)),
                std::min(ml, 60), in.flags, ' ', '0', in.edit, &msg))
    return ii_fail(b, s, msg ? msg : kIiErrRuntime);
  return ii_adv(pc, sizeof(IbFmtAlp) + size_t(ml));
}

// ALP_TO_ALP: alpha r2 edited into alpha r1 under the mask; a text the mask
// refuses (300080) or that does not fit (200050) is a run-time error of
// that message, the target unchanged.
uint8_t* inst_alp_to_alp(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbAlpToAlp>(pc);
  int ml = in.mask_len;
  uint32_t msg = 0;
  if (!alp_etoi(reinterpret_cast<const char*>(s->addr[1]), in.src_len, reinterpret_cast<char*>(s->addr[0]),
                in.tgt_len, reinterpret_cast<const char*>(pc + sizeof(IbAlpToAlp)), std::min(ml, 60), in.flags, ' ', '0', in.edit,
                &msg))
    return ii_fail(b, s, msg ? msg : kIiErrRuntime);  // a text the mask refuses or that does not fit
  return ii_adv(pc, sizeof(IbAlpToAlp) + size_t(ml));
}

}  // namespace

uint8_t* ii_no_field(IlfExecBlock* b, IlfState* s, const char* who) {
  std::snprintf(ut_dbg, sizeof ut_dbg, "%s() - no data area", who);
  os_sys_err(kMod, __LINE__);
  ii_end_ep(b, s);
  return ii_stop(s);
}

// ------------------------------------------------- the value cache --
IiVcGot ii_vc_fill(uint64_t raw, uint64_t key) { return ii_vc_fill_here(raw, key); }

void ii_vc_clear() {
  for (IiVcEntry& e : ii_vc_table) e = IiVcEntry{};
}

IiVcCounts ii_vc_counts() { return IiVcCounts{ii_vc_misses}; }

void ii_util_init() {
  ii_set_pair(50, inst_abort);
  for (uint16_t op = 52; op <= 58; op += 2) ii_set_pair(op, inst_cnst);
  for (uint16_t op = 60; op <= 66; op += 2) ii_set_pair(op, inst_ira);
  ii_set_pair(54, inst_reg_2<true>);
  ii_set_pair(62, inst_reg_2<false>);
  ii_set_pair(60, ii_ira_1);  // may start a compiled compare (iifld.cpp)
  for (uint16_t op = 68; op <= 74; op += 2) ii_set_pair(op, inst_ira_occ);
  ii_set_pair(76, inst_occ_pd);
  ii_set_pair(78, inst_occ_bin);
  ii_set_pair(80, inst_tfc);
  ii_set_pair(82, inst_tfu);
  ii_set_pair(84, inst_cnv_pd);
  ii_set_pair(94, inst_cmprs_bin);
  ii_set_pair(110, inst_move_fix_var);
  ii_set_pair(114, inst_move_char);
  ii_set_pair(116, inst_move_char_pad);
  ii_set_pair(122, inst_move_pd);
  ii_set_pair(118, inst_move_var_char);
  ii_set_pair(120, inst_move_var_fix);
  ii_set_pair(124, inst_move_pd_shft);
  ii_set_pair(128, inst_move_pd_char);
  ii_set_pair(132, inst_move_log);
  ii_set_pair(134, inst_move_bin_log);
  ii_set_pair(136, inst_move_fix_log);
  ii_set_pair(138, inst_move_var_log);
  ii_set_pair(142, inst_log_to_alp);
  ii_set_pair(144, inst_fmt_alp);
  ii_set_pair(146, inst_num_to_alp);
  ii_set_pair(148, inst_alp_to_bin);
  ii_set_pair(150, inst_bin_to_log);
  for (uint16_t op = 152; op <= 158; op += 2) ii_set_pair(op, inst_ld_len);
  for (uint16_t op = 160; op <= 166; op += 2) ii_set_pair(op, inst_ld_len_pd_var);
  for (uint16_t op = 168; op <= 174; op += 2) ii_set_pair(op, inst_ld_len_bin);
  ii_set_pair(176, inst_set_if_null);
  ii_set_pair(180, inst_alp_to_log);
  ii_set_pair(182, inst_alp_to_alp);
  ii_set_pair(650, inst_offset_reg);
}

namespace {
// READ, READNEXT and BEG READ admit a record as the PCF verbs do: by the
// user's profile and the record's security code (CFI word 120).
bool pcf_access(Pcb* pcb, const EmCfi* cfi, const uint8_t* record) {
  return pi_chk_acc_secr(pcb, record, cfi ? cfi->elem1_off.get() : -1) != 0;
}
}  // namespace

void ii_families_register() {
  ii_fi_set_access_check(pcf_access);
  ii_set_family_init(IiFamily::Fi, ii_fi_init);
  ii_set_family_init(IiFamily::Tst, ii_tst_init);
  ii_set_family_init(IiFamily::Math, ii_math_init);
  ii_set_family_init(IiFamily::Cnv, ii_cnv_init);
  ii_set_family_init(IiFamily::Misc, ii_misc2_init);
  ii_set_family_init(IiFamily::Ctl, ii_ctl_init);
  ii_set_family_init(IiFamily::Util, ii_util_init);
  ii_set_family_init(IiFamily::Fld, ii_fld_init);
  ii_set_family_init(IiFamily::Date, ii_date_init);
  ii_set_family_init(IiFamily::Img, ii_img_init);
}
