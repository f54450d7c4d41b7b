// Date family builders: see ibdate.h.
#include "language/ibdate.h"

#include <algorithm>
#include <cstring>

#include "language/ibutil.h"

bool ib_date_desc(const IbDateOp& op, DateDesc* d, uint8_t tokens[64]) {
  const char* mask = op.mask;
  size_t n = mask ? strnlen(mask, 60) : 0;
  if (std::all_of(mask, mask + n, [](char c) { return c == ' '; })) {
    mask = kDateMaskAll;
    n = 16;
  }
  std::memset(tokens, ' ', 64);
  std::memcpy(tokens, mask, n);
  while (n > 0 && (tokens[n - 1] == ' ' || tokens[n - 1] == 0)) --n;
  *d = DateDesc{};
  d->type = op.type;
  d->mask = tokens;
  d->mask_len = uint16_t(n);
  if (!cv_cmpl_date_msk(d)) return false;
  if (op.len) d->len = op.len;
  return true;
}

namespace {

// Saves the descriptor without its addresses (they are set when it runs).
void save(DateDesc d, DateDescRec& r) {
  d.value = d.mask = nullptr;
  cv_date_desc_save(d, r);
}

}  // namespace

uint8_t* bld_date_add(IbCode* code, const IbDateOp& date, uint8_t num_type, uint8_t num_len, bool num_signed,
                      uint8_t num_scale, uint32_t factor, uint16_t op) {
  DateDesc d;
  uint8_t t[64];
  if (!ib_date_desc(date, &d, t)) return nullptr;
  size_t len = sizeof(IbDateAdd) + d.mask_len;
  uint8_t* p = ib_put(code, op, len);
  if (!p) return nullptr;
  auto& in = rec::view<IbDateAdd>(p);
  in.len = uint16_t(len);
  in.factor = factor;
  in.num_type = num_type;
  in.num_len = num_len;
  in.num_signed = num_signed;
  in.num_scale = num_scale;
  save(d, in.d);
  std::memcpy(p + sizeof(IbDateAdd), t, d.mask_len);
  return p;
}

uint8_t* bld_date_btw(IbCode* code, const IbDateOp& first, const IbDateOp& second, uint32_t factor, uint16_t op) {
  DateDesc d1, d2;
  uint8_t t1[64], t2[64];
  if (!ib_date_desc(first, &d1, t1) || !ib_date_desc(second, &d2, t2)) return nullptr;
  size_t len = sizeof(IbDateBtw) + d1.mask_len + d2.mask_len;
  uint8_t* p = ib_put(code, op, len);
  if (!p) return nullptr;
  auto& in = rec::view<IbDateBtw>(p);
  in.len = uint16_t(len);
  save(d1, in.d1);
  save(d2, in.d2);
  in.factor = factor;
  std::memcpy(p + sizeof(IbDateBtw), t1, d1.mask_len);
  std::memcpy(p + sizeof(IbDateBtw) + d1.mask_len, t2, d2.mask_len);
  return p;
}

uint8_t* bld_set_date(IbCode* code, const IbDateOp& date) {
  DateDesc d;
  uint8_t t[64];
  if (!ib_date_desc(date, &d, t)) return nullptr;
  size_t len = sizeof(IbSetDate) + d.mask_len;
  uint8_t* p = ib_put(code, kOpSetDate, len);
  if (!p) return nullptr;
  auto& in = rec::view<IbSetDate>(p);
  in.len = uint16_t(len);
  save(d, in.d);
  std::memcpy(p + sizeof(IbSetDate), t, d.mask_len);
  return p;
}

uint8_t* bld_set_day(IbCode* code, uint16_t tgt_len, const IbDateOp& date, bool short_form, uint16_t op) {
  DateDesc d;
  uint8_t t[64];
  if (!ib_date_desc(date, &d, t)) return nullptr;
  size_t len = sizeof(IbSetName) + d.mask_len;
  uint8_t* p = ib_put(code, op, len);
  if (!p) return nullptr;
  auto& in = rec::view<IbSetName>(p);
  in.len = uint16_t(len);
  in.tgt_len = tgt_len;
  save(d, in.d);
  in.short_form = short_form;
  std::memcpy(p + sizeof(IbSetName), t, d.mask_len);
  return p;
}

uint8_t* bld_cnv_date(IbCode* code, uint16_t op, const IbDateOp& date, uint8_t src_type, bool src_signed,
                      uint16_t src_len) {
  DateDesc d;
  uint8_t t[64];
  if (!ib_date_desc(date, &d, t)) return nullptr;
  size_t len = sizeof(IbDateCnv) + d.mask_len;
  uint8_t* p = ib_put(code, op, len);
  if (!p) return nullptr;
  auto& in = rec::view<IbDateCnv>(p);
  in.len = uint16_t(len);
  in.src_len = src_len;
  save(d, in.d);
  in.src_type = src_type;
  in.src_signed = src_signed;
  std::memcpy(p + sizeof(IbDateCnv), t, d.mask_len);
  return p;
}

uint8_t* bld_date_to_date(IbCode* code, const IbDateOp& target, const IbDateOp& source, bool* none) {
  DateDesc dt, ds;
  uint8_t tt[64], ts[64];
  *none = false;
  if (!ib_date_desc(target, &dt, tt) || !ib_date_desc(source, &ds, ts)) return nullptr;
  if (ds.high < dt.low || ds.low > dt.high) {
    *none = true;
    return nullptr;
  }
  if (ds.high == dt.high && ds.low == dt.low && ds.len == dt.len && ds.type == dt.type &&
      ds.mask_len == dt.mask_len && std::memcmp(tt, ts, dt.mask_len) == 0)
    return bld_move_char(code, dt.len);
  size_t len = sizeof(IbDateToDate) + dt.mask_len + ds.mask_len;
  uint8_t* p = ib_put(code, kOpDateToDate, len);
  if (!p) return nullptr;
  auto& in = rec::view<IbDateToDate>(p);
  in.len = uint16_t(len);
  save(dt, in.t);
  save(ds, in.s);
  std::memcpy(p + sizeof(IbDateToDate), tt, dt.mask_len);
  std::memcpy(p + sizeof(IbDateToDate) + dt.mask_len, ts, ds.mask_len);
  return p;
}
