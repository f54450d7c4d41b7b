// Builders shared by the statement families: see ibutil.h.
#include "language/ibutil.h"

#include <cstdio>
#include <cstring>

#include "foundation/os.h"
#include "foundation/ut.h"

namespace {
constexpr const char* kMod = "IB.C";

bool reg_ok(int reg) { return reg >= 1 && reg <= 4; }

// Zeroes n bytes (n a multiple of 4) of a new instruction. Most are 8 to
// 32 bytes: two stores that may overlap do it without a call.
void zero_inst(uint8_t* p, size_t n) {
  static constexpr uint8_t kZero[16] = {};
  if (n > 32) {
    std::memset(p, 0, n);
  } else if (n >= 16) {
    std::memcpy(p, kZero, 16);
    std::memcpy(p + n - 16, kZero, 16);
  } else if (n >= 8) {
    std::memcpy(p, kZero, 8);
    std::memcpy(p + n - 8, kZero, 8);
  } else if (n >= 4) {
    std::memcpy(p, kZero, 4);
    std::memcpy(p + n - 4, kZero, 4);
  }
}
}  // namespace

uint8_t* ib_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
  return nullptr;
}

uint8_t* ib_put(IbCode* code, uint16_t op, size_t size, CodeRef* where) {
  if (!code || !code->storage) return ib_err(__LINE__, "NULL sc pointer");
  if (size == 0) size = ib_op(op).size;
  uint8_t* p = inst_alloc(size, where, code);
  if (!p) return nullptr;
  zero_inst(p, (size + 3) & ~size_t(3));
  rec::view<IbInst>(p).op = op;
  return p;
}

uint8_t* bld_abort(IbCode* code, uint32_t msg) {
  uint8_t* p = ib_put(code, 50);
  if (p) rec::view<IbAbort>(p).msg = msg;
  return p;
}

namespace {
uint8_t* ref1(IbCode* code, uint16_t base, uint32_t ref, int reg) {
  if (!reg_ok(reg)) return ib_err(__LINE__, "bad register number");
  uint8_t* p = ib_put(code, uint16_t(base + 2 * (reg - 1)));
  if (p) rec::view<IbRef1>(p).ref = ref;
  return p;
}
uint8_t* occ(IbCode* code, uint16_t op, uint32_t ira, int reg, uint32_t len, uint16_t max) {
  if (!reg_ok(reg)) return ib_err(__LINE__, "bad register number");
  if (len == 0) return ib_err(__LINE__, "bad length");
  uint8_t* p = ib_put(code, op);
  if (!p) return nullptr;
  auto& in = rec::view<IbOcc>(p);
  in.ira = ira;
  in.elem_len = len;
  in.max = max;
  in.reg = uint8_t(reg);
  return p;
}
uint8_t* ld_len_fld(IbCode* code, uint16_t base, int reg, uint32_t ira, uint16_t min, uint16_t max) {
  if (!reg_ok(reg)) return ib_err(__LINE__, "bad register number");
  uint8_t* p = ib_put(code, uint16_t(base + 2 * (reg - 1)));
  if (!p) return nullptr;
  auto& in = rec::view<IbLdLenFld>(p);
  in.ira = ira;
  in.min = min;
  in.max = max;
  return p;
}
uint8_t* len2(IbCode* code, uint16_t op, uint16_t a, uint16_t b) {
  uint8_t* p = ib_put(code, op);
  if (!p) return nullptr;
  rec::view<IbLen2>(p).a = a;
  if (ib_op(op).size >= 8) rec::view<IbLen2>(p).b = b;
  return p;
}
}  // namespace

uint8_t* bld_cnst(IbCode* code, uint32_t cnst, int reg) { return ref1(code, 52, cnst, reg); }
uint8_t* bld_ira(IbCode* code, uint32_t ira, int reg) { return ref1(code, 60, ira, reg); }

uint8_t* bld_ira_occ(IbCode* code, uint32_t ira, uint32_t len, uint16_t occ_no, int reg) {
  if (occ_no == 0) return ib_err(__LINE__, "bad occurrence number");
  if (len == 0) return ib_err(__LINE__, "bad length");
  uint8_t* p = ref1(code, 68, ira, reg);
  if (!p) return nullptr;
  rec::view<IbIraOcc>(p).elem_len = len;
  rec::view<IbIraOcc>(p).occ = occ_no;
  return p;
}
uint8_t* bld_occ_pd(IbCode* code, uint32_t ira, int reg, uint32_t len, uint16_t max) {
  return occ(code, 76, ira, reg, len, max);
}
uint8_t* bld_occ_bin(IbCode* code, uint32_t ira, int reg, uint32_t len, uint16_t max) {
  return occ(code, 78, ira, reg, len, max);
}
uint8_t* bld_offset_reg(IbCode* code, int reg, uint32_t offset) {
  if (!reg_ok(reg)) return ib_err(__LINE__, "bad register number");
  uint8_t* p = ib_put(code, 650);
  if (!p) return nullptr;
  rec::view<IbOffsetReg>(p).offset = offset;
  rec::view<IbOffsetReg>(p).reg = uint32_t(reg);
  return p;
}
uint8_t* bld_cmprs_bin(IbCode* code, int size, bool is_signed) {
  if (size != 1 && size != 2 && size != 4) return ib_err(__LINE__, "bad length");
  uint8_t* p = ib_put(code, 94);
  if (!p) return nullptr;
  rec::view<IbCmprsBin>(p).size = uint8_t(size);
  rec::view<IbCmprsBin>(p).is_signed = is_signed ? '1' : '0';
  return p;
}
uint8_t* bld_cnv_pd(IbCode* code, bool is_signed, int reg, int size) {
  if (!reg_ok(reg)) return ib_err(__LINE__, "bad register number");
  if (size != 1 && size != 2 && size != 4) return ib_err(__LINE__, "bad length");
  uint8_t* p = ib_put(code, 84);
  if (!p) return nullptr;
  auto& in = rec::view<IbCnvPd>(p);
  in.is_signed = is_signed ? 1 : 0;
  in.size = uint8_t(size);
  in.reg = uint8_t(reg);
  return p;
}
uint8_t* bld_ld_len(IbCode* code, int reg, uint16_t value) {
  if (!reg_ok(reg)) return ib_err(__LINE__, "bad register number");
  uint8_t* p = ib_put(code, uint16_t(152 + 2 * (reg - 1)));
  if (p) rec::view<IbLdLen>(p).value = value;
  return p;
}
uint8_t* bld_ld_len_bin(IbCode* code, int reg, uint32_t ira, uint16_t min, uint16_t max) {
  return ld_len_fld(code, 168, reg, ira, min, max);
}
uint8_t* bld_ld_len_pd_var(IbCode* code, int reg, uint32_t ira, uint16_t min, uint16_t max) {
  return ld_len_fld(code, 160, reg, ira, min, max);
}
uint8_t* bld_tfc(IbCode* code, CodeRef to, uint32_t cond, CodeRef* where) {
  uint8_t* p = ib_put(code, 80, 0, where);
  if (!p) return nullptr;
  rec::view<IbTfc>(p).to = to;
  rec::view<IbTfc>(p).cond = cond;
  return p;
}
uint8_t* bld_tfu(IbCode* code, CodeRef to, CodeRef* where) {
  uint8_t* p = ib_put(code, 82, 0, where);
  if (p) rec::view<IbTfu>(p).to = to;
  return p;
}
uint8_t* bld_move_char(IbCode* code, uint16_t len) {
  if (len == 0) return ib_err(__LINE__, "bad length");
  return len2(code, 114, len, 0);
}
uint8_t* bld_move_char_pad(IbCode* code, uint16_t len, uint16_t pad) { return len2(code, 116, len, pad); }
uint8_t* bld_move_pd(IbCode* code, uint16_t src_len, uint16_t tgt_len) {
  if (src_len == 0 || tgt_len == 0) return ib_err(__LINE__, "bad length");
  return len2(code, 122, src_len, tgt_len);
}

uint8_t* bld_op(IbCode* code, uint16_t op) { return ib_put(code, op); }
uint8_t* bld_bin_to_log(IbCode* code, uint8_t size) {
  uint8_t* p = ib_put(code, 150);
  if (p) rec::view<IbBinToLog>(p).size = size;
  return p;
}
uint8_t* bld_move_fix_var(IbCode* code, uint16_t len, uint16_t scale) {
  uint8_t* p = ib_put(code, 110);
  if (!p) return nullptr;
  rec::view<IbMoveFixVar>(p).len = len;
  rec::view<IbMoveFixVar>(p).scale = scale;
  return p;
}
uint8_t* bld_move_var_fix(IbCode* code, uint8_t scale, uint8_t len) {
  uint8_t* p = ib_put(code, 120);
  if (!p) return nullptr;
  rec::view<IbMoveVarFix>(p).scale = scale;
  rec::view<IbMoveVarFix>(p).len = len;
  return p;
}
uint8_t* bld_move_var_char(IbCode* code, uint16_t len) { return len2(code, 118, len, 0); }
uint8_t* bld_move_pd_shft(IbCode* code, uint32_t src_len, uint32_t tgt_len, int32_t shift) {
  uint8_t* p = ib_put(code, 124);
  if (!p) return nullptr;
  auto& in = rec::view<IbMovePdShft>(p);
  in.src_len = src_len;
  in.tgt_len = tgt_len;
  in.shift = shift;
  return p;
}
uint8_t* bld_move_pd_char(IbCode* code, uint8_t scale, uint16_t len, uint16_t work) {
  if (work < 1 || work > 4) return ib_err(__LINE__, "bad register number");
  uint8_t* p = ib_put(code, 128);
  if (!p) return nullptr;
  auto& in = rec::view<IbMovePdChar>(p);
  in.scale = scale;
  in.len = len;
  in.work = work;
  return p;
}
uint8_t* bld_move_bin_log(IbCode* code, uint8_t digits, uint8_t scale) {
  uint8_t* p = ib_put(code, 134);
  if (!p) return nullptr;
  rec::view<IbMoveBinLog>(p).digits = digits;
  rec::view<IbMoveBinLog>(p).scale = scale;
  return p;
}
uint8_t* bld_move_fix_log(IbCode* code, uint32_t len, uint32_t digits, uint32_t scale) {
  uint8_t* p = ib_put(code, 136);
  if (!p) return nullptr;
  auto& in = rec::view<IbMoveFixLog>(p);
  in.len = len;
  in.digits = digits;
  in.scale = scale;
  return p;
}
uint8_t* bld_alp_to_bin(IbCode* code, uint16_t len, uint8_t digits, uint8_t scale, bool is_signed) {
  uint8_t* p = ib_put(code, 148);
  if (!p) return nullptr;
  auto& in = rec::view<IbAlpToBin>(p);
  in.len = len;
  in.digits = digits;
  in.scale = scale;
  in.is_signed = is_signed ? '1' : '0';
  return p;
}
namespace {
uint8_t* masked(IbCode* code, uint16_t op, size_t fixed, const char* mask, uint16_t mask_len) {
  uint8_t* p = ib_put(code, op, fixed + mask_len);
  if (p && mask_len) std::memcpy(p + fixed, mask, mask_len);
  return p;
}
}  // namespace
uint8_t* bld_num_to_alp(IbCode* code, uint8_t form, uint8_t digits, uint8_t scale, uint16_t src_len,
                        const char* mask, uint16_t mask_len) {
  uint8_t* p = masked(code, 146, sizeof(IbNumToAlp), mask, mask_len);
  if (!p) return nullptr;
  auto& in = rec::view<IbNumToAlp>(p);
  in.form = form;
  in.digits = digits;
  in.scale = scale;
  in.has_scale = scale != 0;
  in.not_var = form != 12;
  in.src_len = src_len;
  in.mask_len = mask_len;
  return p;
}
uint8_t* bld_fmt_alp(IbCode* code, uint16_t len, uint8_t work, uint8_t edit, uint8_t flags, const char* mask,
                     uint16_t mask_len) {
  uint8_t* p = masked(code, 144, sizeof(IbFmtAlp), mask, mask_len);
  if (!p) return nullptr;
  auto& in = rec::view<IbFmtAlp>(p);
  in.len = len;
  in.work = work;
  in.edit = edit;
  in.flags = flags;
  in.mask_len = mask_len;
  return p;
}
uint8_t* bld_alp_to_alp(IbCode* code, uint16_t tgt_len, uint16_t src_len, uint8_t edit, uint8_t flags,
                        const char* mask, uint16_t mask_len) {
  uint8_t* p = masked(code, 182, sizeof(IbAlpToAlp), mask, mask_len);
  if (!p) return nullptr;
  auto& in = rec::view<IbAlpToAlp>(p);
  in.tgt_len = tgt_len;
  in.src_len = src_len;
  in.edit = edit;
  in.flags = flags;
  in.mask_len = mask_len;
  return p;
}
