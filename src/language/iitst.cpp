// IF, AND and OR at run time, and the compare-expansions of packed
// operands (ibtst.h gives the rules and layouts).
#include <algorithm>
#include <cstring>

#include "foundation/cvdat.h"
#include "foundation/pd.h"
#include "language/ibtst.h"
#include "language/iiutil.h"

namespace {

uint8_t* set(IlfState* s, uint8_t* pc, int v, uint32_t shift, size_t len) {
  s->mask = ii_set_tf(s->mask, uint32_t(v), shift);
  return ii_adv(pc, len);
}
int sign(int c) { return c < 0 ? -1 : c > 0 ? 1 : 0; }

// CHK_TF: AND and OR look at their level before the comparison.
uint8_t* inst_chk_tf(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbChkTf>(pc);
  uint32_t shift = in.shift;
  if (shift < 2 || shift > 10) return ii_next(b, s, ii_adv(pc, 16));
  uint32_t v = (s->mask >> (shift - 2)) & 3;
  if (in.is_or) return ii_next(b, s, v == 1 ? ii_at(pc + 4) : ii_adv(pc, 16));
  if (v == 1) return ii_next(b, s, ii_adv(pc, 16));
  if (v == 2) return ii_next(b, s, ii_at(pc + 4));
  return ii_fail(b, s, kIiErrAnd);
}

uint8_t* inst_if_str_eq(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbIfCmp>(pc);
  int c = sign(std::memcmp(s->addr[0], s->addr[1], in.len.get()));
  rec::view<rec::U32>(s->work[0]) = uint32_t(c);
  return ii_after_test(b, s, set(s, pc, ii_rel(c, in.rel), in.shift, 12));
}

// The rest of the longer operand against blanks, when the common part was equal.
uint8_t* inst_if_str_rest(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbIfRest>(pc);
  int c = int32_t(rec::view<rec::U32>(s->work[0]).get());
  if (c == 0) {
    c = ii_rest_vs_blanks(s->addr[in.longer == 1 ? 0 : 1] + in.shorter.get(), in.diff.get());
    if (in.longer != 1) c = -c;
  }
  return ii_after_test(b, s, set(s, pc, ii_rel(c, in.rel), in.shift, 16));
}

// Justified alpha: the operands compared right-aligned, blanks before the shorter.
uint8_t* inst_if_str_just(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbIf2>(pc);
  int l1 = in.len1, l2 = in.len2, n = std::max(l1, l2), c = 0;
  for (int i = 0; i < n && c == 0; ++i) {
    int a = i < n - l1 ? ' ' : s->addr[0][i - (n - l1)];
    int d = i < n - l2 ? ' ' : s->addr[1][i - (n - l2)];
    c = a < d ? -1 : a > d ? 1 : 0;
  }
  return ii_after_test(b, s, set(s, pc, ii_rel(c, in.rel), in.shift, 16));
}

// IN and EX: the second operand (trailing blanks off) in the first, blank
// and underscore alike; the 1-based position into "TEXT AT POSITION" (r3,
// the whole 4-byte field, so no earlier value shows through its high half).
int find(const uint8_t* text, int n, const uint8_t* what, int m) {
  while (m > 0 && what[m - 1] == ' ') --m;
  if (m == 0) return 0;
  auto same = [](uint8_t x, uint8_t y) { return x == y || ((x == ' ' || x == '_') && (y == ' ' || y == '_')); };
  for (int i = 0; i + m <= n; ++i) {
    int j = 0;
    while (j < m && same(text[i + j], what[j])) ++j;
    if (j == m) return i + 1;
  }
  return 0;
}
uint8_t* in_ex(IlfState* s, uint8_t* pc, bool ex) {
  auto& in = rec::view<IbIf2>(pc);
  int at = find(s->addr[0], in.len1, s->addr[1], in.len2);
  if (at) rec::view<rec::U32>(s->addr[2]) = uint32_t(at);
  return set(s, pc, (at != 0) != ex ? 1 : 2, in.shift, 16);
}
uint8_t* inst_if_in(IlfExecBlock*, IlfState* s, uint8_t* pc) { return in_ex(s, pc, false); }
uint8_t* inst_if_ex(IlfExecBlock*, IlfState* s, uint8_t* pc) { return in_ex(s, pc, true); }

// Two binary fields, each by its size and sign, at their scales: exact.
int cmp_scaled(__int128 a, int sa, __int128 b, int sb) {
  auto up = [](__int128 v, int d) -> __int128 {
    if (v == 0 || d == 0) return v;
    if (d > 27) return v < 0 ? -(__int128(1) << 120) : (__int128(1) << 120);  // beyond any other operand
    for (int i = 0; i < d; ++i) v *= 10;
    return v;
  };
  if (sa < sb) a = up(a, sb - sa);
  else b = up(b, sa - sb);
  return a < b ? -1 : a > b ? 1 : 0;
}
uint8_t* inst_if_bin(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbIfBin>(pc);
  int code = in.code;
  int c1 = (code - 1) / 6 + 1, c2 = (code - 1) % 6 + 1;
  int c = cmp_scaled(ii_read_bin_code(s->addr[0], c1), in.scale1, ii_read_bin_code(s->addr[1], c2), in.scale2);
  return ii_after_test(b, s, set(s, pc, ii_rel(c, in.rel), in.shift, 16));
}

uint8_t* inst_if_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbIf2>(pc);
  const uint8_t *x = s->addr[0], *y = s->addr[1];
  uint64_t hx = 1, hy = 1;
  if (s->len[0] == 16 && s->len[1] == 16) {  // the expanded forms: 8-byte values in their last halves?
    std::memcpy(&hx, x, 8);
    std::memcpy(&hy, y, 8);
  }
  int c = hx == 0 && hy == 0 ? pd_cmp(x + 8, 8, y + 8, 8) : pd_cmp(x, s->len[0], y, s->len[1]);
  if (c == kPdCmpInvalid) return ii_fail(b, s, kIiErrRuntime);
  return ii_after_test(b, s, set(s, pc, ii_rel(c, in.rel), in.shift, 16));
}

// IF_DAT: the dates compared (ii_if_dat_compare), 102540 when one does not
// convert.
uint8_t* inst_if_dat(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbIfDat>(pc);
  int c = ii_if_dat_compare(pc, s->addr[0], s->addr[1]);
  if (c == kIiBadDate) return ii_fail(b, s, kMsgBadDate);
  return ii_after_test(b, s, set(s, pc, ii_rel(c, in.rel), in.shift, sizeof(IbIfDat) + in.masks_len.get()));
}

void define16(uint16_t op, const char* even, const char* odd) {
  IbOpDef d{even, 16, IbLen::Fixed, 0, 0, {}};
  ib_define_op(op, d, odd);
}

// The text form from the century down to unit `low` (two digits a unit,
// nothing after them), read straight: the units (the base values below
// `low`), or false when the general reader must decide (another form,
// blanks, a character that is no digit, a unit out of its range, a zero
// date part, a year 0). What it accepts the general reader accepts with the
// same units.
bool text_date(const DateDescRec& r, const uint8_t* v, uint8_t out[8]) {
  int low = r.low;
  if (!v || r.type != kDtText || r.high != kUnitCentury || low < kUnitHundredths || low > kUnitCentury) return false;
  int n = 9 - low;  // units
  if (r.len != 2 * n) return false;
  static constexpr uint8_t kMax[8] = {99, 99, 12, 31, 23, 59, 59, 99};  // century to hundredths
  uint8_t t[8] = {0, 0, 1, 1, 0, 0, 0, 0};
  for (int i = 0; i < n; ++i) {
    unsigned hi = unsigned(v[2 * i]) - '0', lo = unsigned(v[2 * i + 1]) - '0';
    if (hi > 9 || lo > 9) return false;
    t[i] = uint8_t(hi * 10 + lo);
    if (t[i] > kMax[i]) return false;
  }
  int year = t[0] * 100 + t[1];
  if (year < 1 || (n >= 3 && t[2] < 1)) return false;
  if (n >= 4 && (t[3] < 1 || t[3] > LAST_DAY(year, t[2]))) return false;
  std::memcpy(out, t, 8);
  return true;
}

// The commonest of them, CCYYMMDD, eight characters at once: the eight
// bytes as a big-endian number, which orders valid dates as their units do.
bool ccyymmdd(const DateDescRec& r, const uint8_t* v, uint64_t* key) {
  if (!v || r.type != kDtText || r.high != kUnitCentury || r.low != kUnitDay || r.len != 8) return false;
  constexpr uint64_t kLow = 0x0F0F0F0F0F0F0F0FULL, kHigh = ~kLow, kLanes = 0x00FF00FF00FF00FFULL;
  uint64_t w;
  std::memcpy(&w, v, 8);
  uint64_t lo = w & kLow;
  if ((w & kHigh) != 0x3030303030303030ULL || ((lo + 0x0606060606060606ULL) & kHigh) != 0) return false;
  uint64_t units = (lo & kLanes) * 10 + ((lo >> 8) & kLanes);  // a 16-bit lane a unit, century first
  int year = int(units & 0xFFFF) * 100 + int((units >> 16) & 0xFFFF);
  int month = int((units >> 32) & 0xFFFF), day = int(units >> 48);
  if (year < 1 || month < 1 || month > 12 || day < 1 || (day > 28 && day > LAST_DAY(year, month))) return false;
  *key = __builtin_bswap64(w);
  return true;
}

}  // namespace

bool ii_date_key8(const DateDescRec& r, const uint8_t* v, uint64_t* key) { return ccyymmdd(r, v, key); }

// Both dates to the internal standard date; a null date (the high date) is
// below every other date and equal to another null one; else the units the
// two have in common are compared, from the century when both start at the
// year and the pivot gives them one.
int ii_if_dat_compare(const uint8_t* pc, uint8_t* a, uint8_t* b) {
  const auto& in = rec::view<IbIfDat>(const_cast<uint8_t*>(pc));
  // Two text dates from the century (CCYYMMDD and longer): read here.
  uint64_t ka, kb;
  if (ccyymmdd(in.d1, a, &ka) && ccyymmdd(in.d2, b, &kb)) return ka < kb ? -1 : ka > kb;
  uint8_t ta[8], tb[8];
  if (text_date(in.d1, a, ta) && text_date(in.d2, b, tb)) {
    int n = 9 - std::max(in.d1.low.get(), in.d2.low.get());
    int c = std::memcmp(ta, tb, size_t(n));
    return c < 0 ? -1 : c > 0;
  }
  DateDesc d[2];
  cv_date_desc_load(in.d1, d[0]);
  cv_date_desc_load(in.d2, d[1]);
  d[0].mask = const_cast<uint8_t*>(pc) + sizeof(IbIfDat);
  d[1].mask = d[0].mask + d[0].mask_len;
  d[0].value = a;
  d[1].value = b;
  for (DateDesc& x : d)
    if (!cv_ntos_date(&x)) return kIiBadDate;
  bool n0 = cv_date_is_high(d[0].date), n1 = cv_date_is_high(d[1].date);
  if (n0 || n1) return n0 == n1 ? 0 : n0 ? -1 : 1;
  if (d[0].high == kUnitYear && d[1].high == kUnitYear) {
    cv_date_pivot(nullptr, &d[0], 0);
    cv_date_pivot(nullptr, &d[1], 0);
  }
  int hi = std::min(d[0].high, d[1].high), lo = std::max(d[0].low, d[1].low), c = 0;
  for (int unit = hi; unit >= lo && c == 0; --unit) {
    uint8_t x = d[0].date[unit_index(unit)], y = d[1].date[unit_index(unit)];
    c = x < y ? -1 : x > y ? 1 : 0;
  }
  return c;
}

void ii_tst_init() {
  define16(498, "RLOC_IF_STR_JUST", "INST_IF_STR_JUST");
  define16(510, "RLOC_IF_PD", "INST_IF_PD");
  IbOpDef dat{"RLOC_IF_DAT", uint16_t(sizeof(IbIfDat)), IbLen::PlusU16, 10, 0, {}};
  ib_define_op(516, dat, "INST_IF_DAT");
  ii_set_pair(498, inst_if_str_just);
  ii_set_pair(500, inst_chk_tf);
  ii_set_pair(502, inst_if_in);
  ii_set_pair(504, inst_if_str_eq);
  ii_set_pair(506, inst_if_str_rest);
  ii_set_pair(508, inst_if_bin);
  ii_set_pair(510, inst_if_pd);
  ii_set_pair(512, inst_if_ex);
  ii_set_pair(516, inst_if_dat);
}
