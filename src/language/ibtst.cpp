// Test builders: see ibtst.h.
#include "language/ibtst.h"

#include "language/ibdate.h"
#include "language/ibutil.h"

#include <algorithm>
#include <cstring>

uint8_t ib_bin_code(const IbTstOp& op) {
  uint8_t c = op.is_signed ? 4 : 1;
  if (op.len == 1) c += 2;
  else if (op.len == 2) c += 1;
  return c;
}

uint8_t* sc_gen_if_comp(IbCode* code, uint16_t op, uint32_t shift, uint16_t len, uint8_t rel, bool is_if) {
  uint8_t* p = ib_put(code, op, 12);
  if (!p) return nullptr;
  auto& in = rec::view<IbIfCmp>(p);
  in.shift = shift;
  in.len = len;
  in.rel = rel;
  in.is_if = is_if;
  return p;
}

uint8_t* bld_chk_tf(IbCode* code, uint32_t shift, bool is_or) {
  uint8_t* p = ib_put(code, 500);
  if (!p) return nullptr;
  rec::view<IbChkTf>(p).shift = shift;
  rec::view<IbChkTf>(p).is_or = is_or;
  return p;
}

uint8_t* bld_if_str_rest(IbCode* code, uint32_t shift, uint16_t diff, uint16_t shorter, uint8_t rel,
                         uint8_t longer, bool is_if) {
  uint8_t* p = ib_put(code, 506);
  if (!p) return nullptr;
  auto& in = rec::view<IbIfRest>(p);
  in.shift = shift;
  in.diff = diff;
  in.shorter = shorter;
  in.rel = rel;
  in.longer = longer;
  in.is_if = is_if;
  return p;
}

uint8_t* bld_if2(IbCode* code, uint16_t op, uint32_t shift, uint16_t len1, uint16_t len2, uint8_t rel,
                 bool is_if) {
  uint8_t* p = ib_put(code, op, 16);
  if (!p) return nullptr;
  auto& in = rec::view<IbIf2>(p);
  in.shift = shift;
  in.len1 = len1;
  in.len2 = len2;
  in.rel = op == 502 || op == 512 ? uint8_t(is_if) : rel;
  in.is_if = is_if;
  return p;
}

uint8_t* bld_if_bin(IbCode* code, uint32_t shift, uint8_t rel, const IbTstOp& a, const IbTstOp& b, bool is_if) {
  uint8_t* p = ib_put(code, 508);
  if (!p) return nullptr;
  auto& in = rec::view<IbIfBin>(p);
  in.shift = shift;
  in.rel = rel;
  in.code = uint8_t(ib_bin_code(b) + 6 * (ib_bin_code(a) - 1));
  in.is_if = is_if;
  in.scale2 = b.scale;
  in.scale1 = a.scale;
  return p;
}

namespace {
// Compiles a date operand's mask into tokens as the date statements do (60
// bytes at most, blank for every unit): its descriptor, false for a mask
// without a unit.
bool date_desc(const IbTstOp& op, uint8_t* tokens, DateDesc* d) {
  return ib_date_desc(IbDateOp{op.type, op.len, op.date_mask}, d, tokens);
}
}  // namespace

uint8_t* bld_if_dat(IbCode* code, uint32_t shift, uint8_t rel, bool is_if, const IbTstOp& a, const IbTstOp& b,
                    uint32_t* msg) {
  uint8_t t1[64], t2[64];
  DateDesc d1, d2;
  *msg = 102400;
  if (!date_desc(a, t1, &d1) || !date_desc(b, t2, &d2)) return nullptr;
  if (std::min(d1.high, d2.high) < std::max(d1.low, d2.low)) return nullptr;
  *msg = 0;
  size_t m1 = d1.mask_len, m2 = d2.mask_len;
  uint8_t* p = ib_put(code, 516, sizeof(IbIfDat) + m1 + m2);
  if (!p) return nullptr;
  auto& in = rec::view<IbIfDat>(p);
  in.shift = shift;
  in.rel = rel;
  in.is_if = is_if;
  in.masks_len = uint16_t(m1 + m2);
  d1.value = d1.mask = d2.value = d2.mask = nullptr;
  cv_date_desc_save(d1, in.d1);
  cv_date_desc_save(d2, in.d2);
  std::memcpy(p + sizeof(IbIfDat), t1, m1);
  std::memcpy(p + sizeof(IbIfDat) + m1, t2, m2);
  return p;
}

namespace {
bool is_num(uint8_t t) { return t == 5 || t == 8 || t == 12; }
bool is_date(uint8_t t) {
  return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15;
}
}  // namespace

int bld_if_and_or(IbCode* code, const IbTstOp& a, const IbTstOp& b, uint8_t rel, int verb, uint32_t shift,
                  uint32_t* msg) {
  *msg = 0;
  bool is_if = verb == 38;
  uint8_t* chk = nullptr;
  if (!is_if && !(chk = bld_chk_tf(code, shift, verb == 52))) return 0;
  bool ok = false;
  if (rel == 7 || rel == 8) {
    if (a.type == 1 || b.type == 1) ok = bld_if2(code, rel == 7 ? 502 : 512, shift, a.len, b.len, 0, is_if);
  } else if (a.type == 1) {
    if (a.justified || b.justified) {
      ok = bld_if2(code, 498, shift, a.len, b.len, rel, is_if);
    } else {
      uint16_t shorter = a.len < b.len ? a.len : b.len;
      ok = sc_gen_if_comp(code, 504, shift, shorter, rel, is_if);
      if (ok && a.len != b.len)
        ok = bld_if_str_rest(code, shift, uint16_t(a.len > b.len ? a.len - b.len : b.len - a.len), shorter,
                             rel, a.len > b.len ? 1 : 2, is_if);
    }
  } else if (is_date(a.type)) {
    ok = is_date(b.type) && bld_if_dat(code, shift, rel, is_if, a, b, msg);
  } else if (is_num(a.type) && is_num(b.type)) {
    if (a.type == 5 && b.type == 5) {
      ok = bld_if_bin(code, shift, rel, a, b, is_if);
    } else {
      IbTstOp x = a, y = b;
      if (x.type == 5) {
        ok = bld_cnv_pd(code, x.is_signed, 1, x.len);
        x = {8, 16, x.scale, true, false};
      } else if (y.type == 5) {
        ok = bld_cnv_pd(code, y.is_signed, 2, y.len);
        y = {8, 16, y.scale, true, false};
      } else {
        ok = true;
      }
      bool xv = x.type == 12, yv = y.type == 12;
      if (ok) {
        if (xv && yv) ok = bld_comp_xpnd_var_var(code, x.len, y.len);
        else if (xv) ok = bld_comp_xpnd_var_fix(code, x.len, y.len, y.scale);
        else if (yv) ok = bld_comp_xpnd_fix_var(code, y.len, x.len, x.scale);
        else ok = bld_comp_xpnd_fix_fix(code, x.scale, y.scale, x.len, y.len);
      }
      if (ok) ok = bld_if2(code, 510, shift, uint16_t(xv ? x.len - 1 : x.len), uint16_t(yv ? y.len - 1 : y.len), rel, is_if);
    }
  } else if (a.type == 11) {
    ok = sc_gen_if_comp(code, 504, shift, a.len, rel, is_if);
  }
  if (!ok) return 0;
  if (chk) rec::view<IbChkTf>(chk).past = ib_here(code);
  return 1;
}
