// Field family builders: see ibfld.h.
#include "language/ibfld.h"

#include <cstring>

#include "language/ibutil.h"

uint8_t* bld_comp_xpnd_fix_fix(IbCode* code, uint8_t scale1, uint8_t scale2, uint16_t len1, uint16_t len2) {
  uint8_t* p = ib_put(code, 422);
  if (!p) return nullptr;
  auto& in = rec::view<IbXpndFixFix>(p);
  in.scale1 = scale1;
  in.scale2 = scale2;
  in.len1 = len1;
  in.len2 = len2;
  return p;
}
uint8_t* bld_comp_xpnd_var_var(IbCode* code, uint16_t len1, uint16_t len2) {
  uint8_t* p = ib_put(code, 278);
  if (!p) return nullptr;
  rec::view<IbXpndVarVar>(p).len1 = uint16_t(len1 - 1);
  rec::view<IbXpndVarVar>(p).len2 = uint16_t(len2 - 1);
  return p;
}
namespace {
uint8_t* mixed(IbCode* code, uint16_t op, uint16_t var_len, uint16_t fix_len, uint8_t fix_scale) {
  uint8_t* p = ib_put(code, op);
  if (!p) return nullptr;
  auto& in = rec::view<IbXpndMixed>(p);
  in.var_len = uint16_t(var_len - 1);
  in.fix_len = fix_len;
  in.fix_scale = fix_scale;
  return p;
}
}  // namespace
uint8_t* bld_comp_xpnd_var_fix(IbCode* code, uint16_t var_len, uint16_t fix_len, uint8_t fix_scale) {
  return mixed(code, 276, var_len, fix_len, fix_scale);
}
uint8_t* bld_comp_xpnd_fix_var(IbCode* code, uint16_t var_len, uint16_t fix_len, uint8_t fix_scale) {
  return mixed(code, 272, var_len, fix_len, fix_scale);
}
uint8_t* bld_unxpnd(IbCode* code, uint16_t len) {
  if (!code) return ib_err(__LINE__, " bld_unxpnd  - bad sc_blk");
  uint8_t* p = ib_put(code, 300);
  if (p) rec::view<IbUnxpnd>(p).len = len;
  return p;
}

uint8_t* bld_append(IbCode* code, uint16_t tgt_len, uint16_t src_len, uint8_t blanks) {
  uint8_t* p = ib_put(code, 250);
  if (!p) return nullptr;
  auto& in = rec::view<IbAppend>(p);
  in.tgt_len = tgt_len;
  in.src_len = src_len;
  in.blanks = blanks;
  return p;
}
uint8_t* bld_rnd_uint32b(IbCode* code, uint32_t divisor) {
  uint8_t* p = ib_put(code, 380);
  if (p) rec::view<IbRndU32>(p).divisor = divisor;
  return p;
}
uint8_t* bld_set_temp(IbCode* code, uint16_t tgt_len, uint16_t src_len) {
  uint8_t* p = ib_put(code, 406);
  if (!p) return nullptr;
  rec::view<IbSetTemp>(p).tgt_len = tgt_len;
  rec::view<IbSetTemp>(p).src_len = src_len;
  return p;
}
uint8_t* bld_token_to_alp(IbCode* code, const char* app, const char* elem, uint16_t src_len, uint16_t tgt_len) {
  uint8_t* p = ib_put(code, 410);
  if (!p) return nullptr;
  auto& in = rec::view<IbTokenToAlp>(p);
  std::memcpy(in.app.data(), app, 3);
  std::memcpy(in.elem.data(), elem, 22);
  in.src_len = src_len;
  in.tgt_len = tgt_len;
  return p;
}
uint8_t* bld_set_bin_to_pd(IbCode* code, uint16_t src_len, bool src_signed, uint16_t scale, bool var_target,
                           uint16_t tgt_len, uint16_t tgt_scale) {
  uint8_t* p = ib_put(code, 414);
  if (!p) return nullptr;
  auto& in = rec::view<IbSetBinToPd>(p);
  in.src_len = src_len;
  in.src_signed = src_signed;
  in.scale = scale;
  in.var_target = var_target;
  in.tgt_len = tgt_len;
  in.tgt_scale = tgt_scale;
  return p;
}
uint8_t* bld_set_pd_to_bin(IbCode* code, uint16_t tgt_len, bool tgt_signed, uint16_t tgt_scale, bool var_source,
                           uint16_t src_len, uint16_t src_scale) {
  uint8_t* p = ib_put(code, 416);
  if (!p) return nullptr;
  auto& in = rec::view<IbSetPdToBin>(p);
  in.tgt_len = tgt_len;
  in.tgt_signed = tgt_signed;
  in.tgt_scale = tgt_scale;
  in.var_source = var_source;
  in.src_len = src_len;
  in.src_scale = src_scale;
  return p;
}
uint8_t* bld_set_bin_to_bin(IbCode* code, uint16_t tgt_len, bool tgt_signed, uint16_t tgt_scale, uint16_t src_len,
                            bool src_signed, uint16_t src_scale) {
  uint8_t* p = ib_put(code, 418);
  if (!p) return nullptr;
  auto& in = rec::view<IbSetBinToBin>(p);
  in.tgt_len = tgt_len;
  in.tgt_signed = tgt_signed;
  in.tgt_scale = tgt_scale;
  in.src_len = src_len;
  in.src_signed = src_signed;
  in.src_scale = src_scale;
  return p;
}
uint8_t* bld_pd_to_log(IbCode* code, uint8_t len, bool fixed, uint8_t scale) {
  uint8_t* p = ib_put(code, 424);
  if (!p) return nullptr;
  auto& in = rec::view<IbPdToLog>(p);
  in.len = len;
  in.fixed = fixed;
  in.scale = scale;
  return p;
}
uint8_t* bld_set_if_null(IbCode* code, uint16_t tgt_len, uint32_t tgt_null, uint16_t src_len, uint32_t src_null) {
  uint8_t* p = ib_put(code, 176);
  if (!p) return nullptr;
  auto& in = rec::view<IbSetIfNull>(p);
  in.val_len = tgt_len;
  in.val = tgt_null;
  in.val_kind = 2;
  in.cmp_len = src_len;
  in.null_img = src_null;
  in.null_kind = 2;
  return p;
}
