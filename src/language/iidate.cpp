// Date statements and the date conversions at run time (ibdate.h gives the
// rules and layouts).
#include <algorithm>
#include <cstring>

#include "foundation/cvdat.h"
#include "foundation/os.h"
#include "foundation/pd.h"
#include "language/ibdate.h"
#include "language/iiutil.h"
#include "process/em.h"
#include "process/pcb.h"
#include "process/pishr.h"
#include "process/services.h"

namespace {

constexpr int64_t kMaxMonths = 119988;  // (9999 * 12): January of the year 9999

// A native descriptor of a stored one: its value at `value`, its tokens at
// `tokens` (on the run's frame; the shared code is never written).
DateDesc desc(const DateDescRec& r, uint8_t* value, const uint8_t* tokens) {
  DateDesc d;
  cv_date_desc_load(r, d);
  // The host form is 8 bytes whatever the length says: a descriptor (of a
  // saved module) that gives it fewer is no date form.
  if (d.type == kDtHost && d.len < 8) d.type = 0;
  d.value = value;
  d.mask = const_cast<uint8_t*>(tokens);
  return d;
}

int year_of(const uint8_t* u) { return u[0] * 100 + u[1]; }
int time_of(const uint8_t* u) { return ((u[4] * 60 + u[5]) * 60 + u[6]) * 100 + u[7]; }
void set_time(uint8_t* u, int t) {
  u[7] = uint8_t(t % 100);
  t /= 100;
  u[6] = uint8_t(t % 60);
  t /= 60;
  u[5] = uint8_t(t % 60);
  u[4] = uint8_t(t / 60);
}
bool set_days(uint8_t* u, int64_t day) {
  int y, m, d;
  if (day < 1 || day > kDayMax || !cv_civil_from_days(int32_t(day), &y, &m, &d)) return false;
  u[0] = uint8_t(y / 100);
  u[1] = uint8_t(y % 100);
  u[2] = uint8_t(m);
  u[3] = uint8_t(d);
  return true;
}
int32_t days_of(const uint8_t* u) { return cv_days_from_civil(year_of(u), u[2], u[3]); }

// Converts the stored value; the arithmetic's form of it: a date that
// carries a year and not its century takes the pivot's (the stored one for
// binary forms), else the 1900s. The descriptor's range stays the stored
// one. False for a value that does not convert.
bool load(DateDesc* d, bool allow_special = false) {
  if (!cv_ntos_date(d)) return false;
  if (cv_date_is_special(d->date)) return allow_special && cv_date_is_high(d->date);
  if (d->high == kUnitYear) {
    DateDesc p = *d;
    if (cv_date_pivot(nullptr, &p, 0)) d->date[0] = p.date[0];
    else d->date[0] = uint8_t(cv_default_century(d->date[1]));
  }
  return true;
}
// Stores the internal date by the field's range; a date without its
// century keeps the one the arithmetic gave it (a binary form stores it).
void clear(DateDesc* d) {
  DateDesc c = *d;
  if (c.high == kUnitYear) c.high = kUnitCentury;
  cv_date_clear_parts(&c);
  std::memcpy(d->date, c.date, 8);
}
bool store(DateDesc* d) {
  clear(d);
  return cv_ston_date(d) == 1;
}

// The whole part of a count (binary, fixed or variable packed), toward zero.
// A packed count of 1-8 bytes at a scale of 0-31 is read in one word.
bool count_of(const uint8_t* p, int type, int len, bool sg, int scale, int64_t* out) {
  if (type == 5) {
    *out = ii_read_bin(p, len, sg);
    return true;
  }
  if (type == 12) {
    len -= 1;
    if (len < 1 || len > 16) return false;
    scale = int8_t(p[len]);
  }
  int64_t v;
  if (len >= 1 && len <= 8 && scale >= 0 && scale <= 31 && pacdec::decode64(p, len, v)) {
    *out = scale == 0 ? v : scale > 15 ? 0 : v / int64_t(pacdec::pow10(scale));  // (|v| < 10^15)
    return true;
  }
  uint8_t w[16];
  if (len < 1 || len > 16 || scale < -31 || scale > 31 || !pd_set(w, 16, p, len)) return false;
  if (scale != 0 && !pd_shftn(w, 16, -scale)) return false;
  bool ok = false;
  *out = pd_cvb64(w, 16, &ok);
  return ok;
}

// DATE DIFFERENCE of the status record, when the module's area table (if
// it has one) gives that area room for it.
uint8_t* status_diff(IlfState* s, Pcb* pcb) {
  auto* st = reinterpret_cast<PdStatus*>(pcb_status(pcb));
  if (!st) return nullptr;
  const EmHeader* em = s->module;
  const uint8_t* table = em ? em->area_table.get() : nullptr;
  for (uint32_t i = 0; table && i <= em->n_areas; ++i) {
    const auto& e = rec::view<EmAreaEntry>(const_cast<uint8_t*>(table) + sizeof(EmAreaEntry) * i);
    if (e.index == uint32_t(kPcbStatusArea) && e.kind == 0)
      return e.size.get() >= 55u ? st->date_diff.data() : nullptr;
  }
  return st->date_diff.data();
}

uint8_t* fail(IlfExecBlock* b, IlfState* s) { return ii_fail(b, s, kIiErrDate); }

// A text date from the century to the day (CCYYMMDD, the commonest date
// field) is read and written straight by SET DATE and DATE ADD of days;
// anything else, and anything such a field holds that is no valid date of
// it, goes to the general code, which does the same with what these do.
bool is_ccyymmdd(const DateDescRec& r) {
  return r.type == kDtText && r.high == kUnitCentury && r.low == kUnitDay && r.len == 8 && r.julian == 0;
}
void put_ccyymmdd(uint8_t* v, int y, int m, int d) {
  const int out[4] = {y / 100, y % 100, m, d};
  for (int i = 0; i < 4; ++i) {
    v[2 * i] = uint8_t('0' + out[i] / 10);
    v[2 * i + 1] = uint8_t('0' + out[i] % 10);
  }
}

// The CCYYMMDD text of day number `day` (1 .. kDayMax), or null when it is
// none. SET DATE in a run reads the same day again and again: the text is
// worked out once a day.
const uint8_t* day_text(uint32_t day) {
  static uint32_t memo_day = 0;
  static uint8_t memo[8];
  if (day != memo_day) {
    int y, m, d;
    if (day < 1 || day > uint32_t(kDayMax) || !cv_civil_from_days(int32_t(day), &y, &m, &d)) return nullptr;
    put_ccyymmdd(memo, y, m, d);
    memo_day = day;
  }
  return memo;
}

// DATE ADD of days to such a field: false, with nothing written, for a
// value that is no valid date, a count that does not read or a result
// outside the calendar. The eight digits are checked and paired in one word;
// a result in the same month rewrites the day's two digits alone, any other
// goes through the day number. Near: a binary count and a result in the
// same month only (else false, nothing written), the straight path that
// makes no call.
template <bool Near>
[[gnu::always_inline]] inline bool add_days_text(const IbDateAdd& in, uint8_t* v, const uint8_t* count) {
  if (!v || !is_ccyymmdd(in.d) || (Near && in.num_type != 5)) return false;
  constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ULL, kZeros = 0x3030303030303030ULL, kSixes = 0x0606060606060606ULL;
  uint64_t w;
  std::memcpy(&w, v, 8);
  // A byte is a digit when its high nibble is 3 and adding 6 leaves it so.
  if ((w & kHigh) != kZeros || ((w + kSixes) & kHigh) != kZeros) return false;
  // Byte i holds digit i (the first in the low byte): each 16-bit lane's
  // low byte becomes its two digits' value, CC, YY, MM, DD.
  uint64_t d = w & 0x0F0F0F0F0F0F0F0FULL;
  uint64_t u = (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFULL;
  int year = int(u & 0xFF) * 100 + int(u >> 16 & 0xFF), month = int(u >> 32 & 0xFF), day = int(u >> 48);
  int last = LAST_DAY(year, month);
  if (year < 1 || day < 1 || day > last) return false;  // (last 0: no month)
  int64_t n;
  if (in.num_type == 5) n = ii_read_bin(count, in.num_len, in.num_signed != 0);
  else if (Near || !count_of(count, in.num_type, in.num_len, in.num_signed != 0, in.num_scale, &n)) return false;
  int64_t near;
  if (!__builtin_mul_overflow(n, int64_t(in.factor.get()), &near) && near >= 1 - day && near <= last - day) {
    int nd = day + int(near);  // within the month: the day's digits alone
    v[6] = uint8_t('0' + nd / 10);
    v[7] = uint8_t('0' + nd % 10);
    return true;
  }
  if (Near) return false;
  __int128 add = __int128(n) * in.factor.get();
  __int128 to = __int128(cv_days_from_civil(year, month, day)) + add;
  int y, m, dd;
  if (to < 1 || to > kDayMax || !cv_civil_from_days(int32_t(to), &y, &m, &dd)) return false;
  put_ccyymmdd(v, y, m, dd);
  return true;
}
bool add_days_ccyymmdd(const IbDateAdd& in, uint8_t* v, const uint8_t* count) {
  return add_days_text<false>(in, v, count);
}

// ---------------------------------------------------------- statements --
uint8_t* inst_set_date(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbSetDate>(pc);
  HostTime now;
  os_quvo_time(&now);
  const uint8_t* text = nullptr;
  if (s->addr[0] && is_ccyymmdd(in.d) && now.hundredths.get() < uint32_t(kDayHundredths) &&
      (text = day_text(now.day.get()))) {
    std::memcpy(s->addr[0], text, 8);
    return ii_adv(pc, in.len);
  }
  DateDesc d = desc(in.d, s->addr[0], pc + sizeof(IbSetDate));
  DateDesc n;
  if (!GREG_BIN_TO_STD(&n, &now)) return fail(b, s);
  std::memcpy(d.date, n.date, 8);
  if (!store(&d)) return fail(b, s);
  return ii_adv(pc, in.len);
}

// DATE ADD in months (factor 1, 12, 1200), days, hundredths (factor 1, 100,
// 6000, 360000).
uint8_t* date_add(IlfExecBlock* b, IlfState* s, uint8_t* pc, int kind) {
  auto& in = rec::view<IbDateAdd>(pc);
  DateDesc d = desc(in.d, s->addr[0], pc + sizeof(IbDateAdd));
  int64_t n;
  if (!load(&d) || !count_of(s->addr[1], in.num_type, in.num_len, in.num_signed != 0, in.num_scale, &n))
    return fail(b, s);
  __int128 amount = __int128(n) * in.factor.get();
  uint8_t* u = d.date;
  if (kind == 0) {
    __int128 months = __int128(year_of(u)) * 12 + std::max<int>(u[2], 1) - 1 + amount;
    if (months < 0 || months > kMaxMonths) return fail(b, s);
    int y = int(months / 12), m = int(months % 12) + 1;
    u[0] = uint8_t(y / 100);
    u[1] = uint8_t(y % 100);
    u[2] = uint8_t(m);
    u[3] = uint8_t(std::min<int>(u[3], LAST_DAY(y, m)));
  } else {
    clear(&d);
    int32_t day = days_of(u);
    if (day < 1) return fail(b, s);
    __int128 add_days = amount;
    if (kind == 2) {
      add_days = amount / kDayHundredths;
      int64_t t = time_of(u) + int64_t(amount % kDayHundredths);
      if (t >= int64_t(kDayHundredths)) t -= kDayHundredths, ++add_days;
      if (t < 0) t += kDayHundredths, --add_days;
      set_time(u, int(t));
    }
    __int128 nd = day + add_days;
    if (nd < 1 || nd > kDayMax || !set_days(u, int64_t(nd))) return fail(b, s);
  }
  if (!store(&d)) return fail(b, s);
  return ii_adv(pc, in.len);
}
uint8_t* inst_date_add_mm(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return date_add(b, s, pc, 0); }
// (A text date from the century to the day straight, and on to the next
// instruction as the loop would.)
[[gnu::noinline]] uint8_t* date_add_dd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbDateAdd>(pc);
  if (add_days_ccyymmdd(in, s->addr[0], s->addr[1])) return ii_next(b, s, ii_adv(pc, in.len));
  return date_add(b, s, pc, 1);
}
uint8_t* inst_date_add_dd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbDateAdd>(pc);
  if (add_days_text<true>(in, s->addr[0], s->addr[1])) [[likely]]
    return ii_next(b, s, ii_adv(pc, in.len));
  return date_add_dd(b, s, pc);
}
uint8_t* inst_date_add_th(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return date_add(b, s, pc, 2); }

// DATE BTW: second minus first over the units the two share, into the
// status record's DATE DIFFERENCE.
uint8_t* date_btw(IlfExecBlock* b, IlfState* s, uint8_t* pc, int kind) {
  auto& in = rec::view<IbDateBtw>(pc);
  DateDesc d1 = desc(in.d1, s->addr[0], pc + sizeof(IbDateBtw));
  DateDesc d2 = desc(in.d2, s->addr[1], pc + sizeof(IbDateBtw) + in.d1.mask_len.get());
  if (!load(&d1) || !load(&d2)) return fail(b, s);
  // (A date with the year as its highest unit has its century from load().)
  auto top = [](const DateDesc& d) { return d.high == kUnitYear ? uint8_t(kUnitCentury) : d.high; };
  uint8_t hi = std::min(top(d1), top(d2)), lo = std::max(d1.low, d2.low);
  for (DateDesc* d : {&d1, &d2}) {
    d->high = hi;
    d->low = lo;
    cv_date_clear_parts(d);
  }
  const uint8_t *u = d1.date, *v = d2.date;
  int64_t r;
  if (kind == 0) {
    int64_t months = int64_t(year_of(v) - year_of(u)) * 12 + v[2] - u[2];
    int day2 = v[3];
    if (u[3] == LAST_DAY(year_of(u), u[2]) && v[3] == LAST_DAY(year_of(v), v[2])) day2 = u[3];
    int64_t t1 = int64_t(u[3]) * kDayHundredths + time_of(u), t2 = int64_t(day2) * kDayHundredths + time_of(v);
    if (months > 0 && t1 > t2) --months;
    if (months < 0 && t1 < t2) ++months;
    r = months / int64_t(in.factor.get() ? in.factor.get() : 1);
  } else {
    int32_t x = days_of(u), y = days_of(v);
    if (x < 1 || y < 1) return fail(b, s);
    int64_t days = int64_t(y) - x;
    int t1 = time_of(u), t2 = time_of(v);
    if (kind == 1) {
      if (days > 0 && t1 > t2) --days;
      if (days < 0 && t1 < t2) ++days;
      r = days;
    } else {
      r = (days * kDayHundredths + t2 - t1) / int64_t(in.factor.get() ? in.factor.get() : 1);
    }
  }
  uint8_t* st = status_diff(s, b->pcb);
  uint8_t out[8];
  if (!st || !pd_cvp64(out, 8, r)) return fail(b, s);
  std::memcpy(st, out, 8);
  return ii_adv(pc, in.len);
}
uint8_t* inst_date_btw_mm(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return date_btw(b, s, pc, 0); }
uint8_t* inst_date_btw_dd(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return date_btw(b, s, pc, 1); }
uint8_t* inst_date_btw_th(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return date_btw(b, s, pc, 2); }

// SET DAY, SET MNTH: the name into the alpha target at r1, blank for a date
// without one.
uint8_t* set_name(IlfExecBlock* b, IlfState* s, uint8_t* pc, bool day) {
  auto& in = rec::view<IbSetName>(pc);
  DateDesc d = desc(in.d, s->addr[1], pc + sizeof(IbSetName));
  if (!load(&d, true)) return fail(b, s);
  char* t = reinterpret_cast<char*>(s->addr[0]);
  size_t tl = in.tgt_len;
  std::memset(t, ' ', tl);
  if (cv_date_is_special(d.date)) return ii_adv(pc, in.len);
  if (day) {
    int32_t n = days_of(d.date);
    if (n > 0) cv_day_name(cv_weekday(n), in.short_form != 0, t, tl);
  } else if (d.date[2] > 0) {
    cv_month_name(d.date[2], in.short_form != 0, t, tl);
  }
  return ii_adv(pc, in.len);
}
uint8_t* inst_set_day(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return set_name(b, s, pc, true); }
uint8_t* inst_set_mnth(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return set_name(b, s, pc, false); }

// --------------------------------------------------------- conversions --
// DATE_TO_PD: the units of the range, two digits each, as a number in
// scratch value 1 (the null date: -1).
uint8_t* inst_date_to_pd(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbDateCnv>(pc);
  DateDesc d = desc(in.d, s->addr[1], pc + sizeof(IbDateCnv));
  if (!cv_ntos_date(&d) || (cv_date_is_special(d.date) && !cv_date_is_high(d.date))) return fail(b, s);
  int64_t v = 0;
  if (cv_date_is_high(d.date)) v = -1;
  else
    for (int unit = d.high; unit >= d.low; --unit) v = v * 100 + d.date[unit_index(unit)];
  pd_cvp64(s->work[0], 16, v);
  s->addr[1] = s->work[0];
  s->len[1] = 16;
  return ii_adv(pc, in.len);
}
// DATE_TO_LOG: ' ' for the null date, '1' when a unit of the range is not 0.
uint8_t* inst_date_to_log(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbDateCnv>(pc);
  DateDesc d = desc(in.d, s->addr[1], pc + sizeof(IbDateCnv));
  if (!cv_ntos_date(&d)) return fail(b, s);
  char c = ' ';
  if (!cv_date_is_special(d.date)) {
    c = '0';
    for (int unit = d.high; unit >= d.low; --unit)
      if (d.date[unit_index(unit)] != 0) c = '1';
  }
  s->addr[0][0] = uint8_t(c);
  return ii_adv(pc, in.len);
}
// NUM_TO_DATE: the number's digits, two a unit ending with the lowest.
uint8_t* inst_num_to_date(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbDateCnv>(pc);
  DateDesc d = desc(in.d, s->addr[0], pc + sizeof(IbDateCnv));
  int type = in.src_type, len = in.src_len;
  const uint8_t* p = s->addr[1];
  __int128 v = 0;
  if (type == 5) {
    if (len != 1 && len != 2 && len != 4) {
      os_sys_err_text("IIDATE.C", __LINE__, "inst_num_to_date() - bad num len");
      ii_end_ep(b, s);
      return ii_stop(s);
    }
    int64_t x;
    count_of(p, 5, len, in.src_signed != 0, 0, &x);
    v = x;
  } else if (type == 8 || type == 12) {
    int n = type == 12 ? len - 1 : len;
    uint8_t w[16];
    bool ok = false;
    if (n < 1 || n > 16 || !pd_set(w, 16, p, n)) return fail(b, s);
    int64_t x = pd_cvb64(w, 16, &ok);
    if (!ok) return fail(b, s);
    v = x;
  } else {
    os_sys_err_text("IIDATE.C", __LINE__, "inst_num_to_date() - bad num type");
    ii_end_ep(b, s);
    return ii_stop(s);
  }
  if (v < 0) {
    cv_date_set_high(d.date);
  } else {
    std::memset(d.date, 0, 8);
    for (int unit = d.low; unit <= kUnitCentury && v > 0; ++unit, v /= 100)
      d.date[unit_index(unit)] = uint8_t(v % 100);
    if (v > 0) return fail(b, s);
    if (!cv_date_is_zero(d.date)) cv_date_limit_parts(&d);
  }
  if (cv_ston_date(&d) != 1) return fail(b, s);
  return ii_adv(pc, in.len);
}
// ALP_TO_DATE: a universal date text of the source's length.
uint8_t* inst_alp_to_date(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbDateCnv>(pc);
  DateDesc d = desc(in.d, s->addr[0], pc + sizeof(IbDateCnv));
  if (!cv_date_from_universal(reinterpret_cast<const char*>(s->addr[1]), in.src_len, d.date)) return fail(b, s);
  if (!cv_date_is_special(d.date)) {
    uint8_t high = d.high;
    cv_date_pivot(nullptr, &d, 0);
    d.high = high;
    cv_date_limit_parts(&d);
  }
  if (cv_ston_date(&d) != 1) return fail(b, s);
  return ii_adv(pc, in.len);
}
// LOG_TO_DATE: ' ' the null date, '0' all units 0, else all 1.
uint8_t* inst_log_to_date(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbDateCnv>(pc);
  DateDesc d = desc(in.d, s->addr[0], pc + sizeof(IbDateCnv));
  uint8_t c = s->addr[1][0];
  if (c == ' ') cv_date_set_high(d.date);
  else std::memset(d.date, c == '0' ? 0 : 1, 8);
  if (!cv_date_is_special(d.date)) cv_date_clear_parts(&d);
  if (cv_ston_date(&d) != 1) return fail(b, s);
  return ii_adv(pc, in.len);
}
// DATE_TO_ALP: the universal date text in scratch value 2.
uint8_t* inst_date_to_alp(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbDateCnv>(pc);
  DateDesc d = desc(in.d, s->addr[1], pc + sizeof(IbDateCnv));
  if (!cv_ntos_date(&d) || (cv_date_is_special(d.date) && !cv_date_is_high(d.date))) return fail(b, s);
  if (!cv_date_is_special(d.date)) cv_date_clear_parts(&d);
  cv_date_to_universal(d.date, d.high, d.low, reinterpret_cast<char*>(s->work[1]), 32);
  s->addr[1] = s->work[1];
  s->len[1] = 32;
  return ii_adv(pc, in.len);
}
// DATE_TO_DATE: the units the two ranges share; a target holding the null
// date starts from this year's first day.
uint8_t* inst_date_to_date(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbDateToDate>(pc);
  DateDesc t = desc(in.t, s->addr[0], pc + sizeof(IbDateToDate));
  DateDesc f = desc(in.s, s->addr[1], pc + sizeof(IbDateToDate) + in.t.mask_len.get());
  if (!cv_ntos_date(&f) || (cv_date_is_special(f.date) && !cv_date_is_high(f.date))) return fail(b, s);
  if (cv_date_is_special(f.date)) {
    std::memcpy(t.date, f.date, 8);
  } else {
    if (!cv_ntos_date(&t) || cv_date_is_special(t.date)) {
      HostTime now;
      os_quvo_time(&now);
      DateDesc n;
      GREG_BIN_TO_STD(&n, &now);
      uint8_t base[8] = {n.date[0], n.date[1], 1, 1, 0, 0, 0, 0};
      std::memcpy(t.date, base, 8);
    }
    load(&f);
    int hi = std::min(t.high, f.high == kUnitYear ? uint8_t(kUnitCentury) : f.high), lo = std::max(t.low, f.low);
    for (int unit = hi; unit >= lo; --unit) t.date[unit_index(unit)] = f.date[unit_index(unit)];
    cv_date_limit_parts(&t);
  }
  if (cv_ston_date(&t) != 1) return fail(b, s);
  return ii_adv(pc, in.len);
}

}  // namespace

bool ii_date_add_text_days(const uint8_t* pc) {
  return (ii_op(pc) | 1) == kOpDateAddDd + 1 && is_ccyymmdd(rec::view<IbDateAdd>(const_cast<uint8_t*>(pc)).d);
}
bool ii_date_add_days(const uint8_t* pc, uint8_t* v, const uint8_t* count) {
  return add_days_ccyymmdd(rec::view<IbDateAdd>(const_cast<uint8_t*>(pc)), v, count);
}

void ii_date_init() {
  for (uint16_t op = 200; op <= 230; op += 2) {
    IbOpDef d{"", 0, IbLen::PlusU16, uint8_t(op == kOpSetDate ? 36 : 4), 0, {}};
    d.name = ib_op(op).name;
    ib_define_op(op, d, ib_op(uint16_t(op + 1)).name);
  }
  ii_set_pair(kOpSetDate, inst_set_date);
  ii_set_pair(kOpDateToPd, inst_date_to_pd);
  ii_set_pair(kOpDateAddMm, inst_date_add_mm);
  ii_set_pair(kOpDateAddDd, inst_date_add_dd);
  ii_set_pair(kOpDateAddTh, inst_date_add_th);
  ii_set_pair(kOpDateToLog, inst_date_to_log);
  ii_set_pair(kOpNumToDate, inst_num_to_date);
  ii_set_pair(kOpDateBtwMm, inst_date_btw_mm);
  ii_set_pair(kOpDateBtwDd, inst_date_btw_dd);
  ii_set_pair(kOpAlpToDate, inst_alp_to_date);
  ii_set_pair(kOpLogToDate, inst_log_to_date);
  ii_set_pair(kOpDateToDate, inst_date_to_date);
  ii_set_pair(kOpDateBtwTh, inst_date_btw_th);
  ii_set_pair(kOpSetDay, inst_set_day);
  ii_set_pair(kOpSetMnth, inst_set_mnth);
  ii_set_pair(kOpDateToAlp, inst_date_to_alp);
}
