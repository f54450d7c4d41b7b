// Register loads, truth-mask branches and the moves every family shares
// (ibutil.h gives the layouts), and the registration of the families.
#include "language/iiutil.h"

#include <algorithm>
#include <cstring>

#include "foundation/os.h"
#include "foundation/pd.h"
#include "language/ibutil.h"

namespace {
constexpr const char* kMod = "IIUTIL.C";

uint8_t* sys_fail(IlfExecBlock* b, IlfState* s, int line, const char* text) {
  std::snprintf(ut_dbg, sizeof ut_dbg, "%s", text);
  os_sys_err(kMod, line);
  ii_end_ep(b, s);
  return ii_stop(s);
}

int op_reg(const uint8_t* pc, uint16_t base) { return (rec::view<IbInst>(pc).op.get() - base) / 2; }

// ABORT: the run-time error it carries.
uint8_t* inst_abort(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  return ii_fail(b, s, rec::view<IbAbort>(pc).msg);
}
// CNST_n, IRA_n: address register n.
uint8_t* inst_cnst(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->addr[op_reg(pc, 52) & 3] = ii_ref(pc + 4);
  return ii_adv(pc, 8);
}
uint8_t* inst_ira(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->addr[op_reg(pc, 60) & 3] = ii_field(pc + 4);
  return ii_adv(pc, 8);
}
uint8_t* inst_ira_occ(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbIraOcc>(pc);
  s->addr[op_reg(pc, 68) & 3] = ii_field(pc + 4) + size_t(in.occ.get() - 1) * in.elem_len.get();
  return ii_adv(pc, 16);
}
// OCC_PD, OCC_BIN: the register moves to the occurrence the field names;
// an occurrence below 1 or above the maximum is 102710.
uint8_t* occ(IlfExecBlock* b, IlfState* s, uint8_t* pc, int64_t n) {
  auto& in = rec::view<IbOcc>(pc);
  int reg = in.reg;
  if (reg < 1 || reg > 4) return sys_fail(b, s, __LINE__, "inst_occ_pd() - unexpected case switch");
  uint16_t max = in.max;
  if (n < 1 || (max != 0 && n > max) || n > 65535) return ii_fail(b, s, kIiErrOcc);
  s->addr[reg - 1] += size_t(n - 1) * in.elem_len.get();
  return ii_adv(pc, 16);
}
uint8_t* inst_occ_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  const uint8_t* f = ii_field(pc + 4);
  // The integer part: below 1 for any value under 1 (a negative one too).
  int32_t v = pd_var_bin(f);
  return occ(b, s, pc, v);
}
uint8_t* inst_occ_bin(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  return occ(b, s, pc, int32_t(rec::view<rec::U32>(ii_field(pc + 4)).get()));
}

// Truth-mask branches.
uint8_t* inst_tfc(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  uint32_t cond = rec::view<IbTfc>(pc).cond;
  return (s->mask | cond) != cond ? ii_at(pc + 4) : ii_adv(pc, 12);
}
uint8_t* inst_tfu(IlfExecBlock*, IlfState*, uint8_t* pc) { return ii_at(pc + 4); }

// CNV_PD: the binary at the register becomes a packed work value.
uint8_t* inst_cnv_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbCnvPd>(pc);
  int reg = in.reg;
  if (reg < 1 || reg > 4) return sys_fail(b, s, __LINE__, "inst_cnv_pd() - unexpected case switch");
  const uint8_t* p = s->addr[reg - 1];
  int64_t v;
  switch (in.size) {
    case 1: v = in.is_signed ? int8_t(p[0]) : p[0]; break;
    case 2: {
      uint16_t h = rec::view<rec::U16>(const_cast<uint8_t*>(p));
      v = in.is_signed ? int16_t(h) : h;
      break;
    }
    default: {
      uint32_t w = rec::view<rec::U32>(const_cast<uint8_t*>(p));
      v = in.is_signed ? int32_t(w) : int64_t(w);
    }
  }
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

uint8_t* inst_move_char(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  std::memmove(s->addr[0], s->addr[1], rec::view<IbLen2>(pc).a.get());
  return ii_adv(pc, 6);
}
uint8_t* inst_move_char_pad(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbLen2>(pc);
  std::memmove(s->addr[0], s->addr[1], in.a.get());
  std::memset(s->addr[0] + in.a.get(), ' ', in.b.get());
  return ii_adv(pc, 8);
}
// MOVE_PD: packed r2 into packed r1 of another length.
uint8_t* inst_move_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbLen2>(pc);
  if (!pd_set(s->addr[0], in.b, s->addr[1], in.a)) return ii_fail(b, s, kIiErrRuntime);
  return ii_adv(pc, 8);
}
uint8_t* inst_move_log(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->addr[0][0] = s->addr[1][0];
  return ii_adv(pc, 4);
}
uint8_t* inst_move_var_log(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  pd_cvp(s->addr[0], 8, s->addr[1][0] == '1' ? 1 : 0);
  s->addr[0][8] = 0;
  return ii_adv(pc, 4);
}
uint8_t* inst_bin_to_log(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  int n = pc[4] == 1 || pc[4] == 2 ? pc[4] : 4;
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
  int32_t v = int32_t(rec::view<rec::U32>(ii_field(pc + 4)).get());
  return ld_len(b, s, pc, op_reg(pc, 168) & 3, v);
}
uint8_t* inst_ld_len_pd_var(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  return ld_len(b, s, pc, op_reg(pc, 160) & 3, pd_var_bin(ii_field(pc + 4)));
}
uint8_t* inst_offset_reg(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbOffsetReg>(pc);
  uint32_t reg = in.reg;
  if (reg < 1 || reg > 4) return sys_fail(b, s, __LINE__, "inst_offset_reg() - unexpected case switch");
  s->addr[reg - 1] += in.offset.get();
  return ii_adv(pc, 12);
}

}  // namespace

void ii_util_init() {
  ii_set_pair(50, inst_abort);
  for (uint16_t op = 52; op <= 58; op += 2) ii_set_pair(op, inst_cnst);
  for (uint16_t op = 60; op <= 66; op += 2) ii_set_pair(op, inst_ira);
  for (uint16_t op = 68; op <= 74; op += 2) ii_set_pair(op, inst_ira_occ);
  ii_set_pair(76, inst_occ_pd);
  ii_set_pair(78, inst_occ_bin);
  ii_set_pair(80, inst_tfc);
  ii_set_pair(82, inst_tfu);
  ii_set_pair(84, inst_cnv_pd);
  ii_set_pair(94, inst_cmprs_bin);
  ii_set_pair(114, inst_move_char);
  ii_set_pair(116, inst_move_char_pad);
  ii_set_pair(122, inst_move_pd);
  ii_set_pair(132, inst_move_log);
  ii_set_pair(138, inst_move_var_log);
  ii_set_pair(150, inst_bin_to_log);
  for (uint16_t op = 152; op <= 158; op += 2) ii_set_pair(op, inst_ld_len);
  for (uint16_t op = 160; op <= 166; op += 2) ii_set_pair(op, inst_ld_len_pd_var);
  for (uint16_t op = 168; op <= 174; op += 2) ii_set_pair(op, inst_ld_len_bin);
  ii_set_pair(650, inst_offset_reg);
}

void ii_families_register() {
  ii_set_family_init(IiFamily::Tst, ii_tst_init);
  ii_set_family_init(IiFamily::Math, ii_math_init);
  ii_set_family_init(IiFamily::Ctl, ii_ctl_init);
  ii_set_family_init(IiFamily::Util, ii_util_init);
  ii_set_family_init(IiFamily::Fld, ii_fld_init);
}
