#include "foundation/cvdat.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/pd.h"
#include "foundation/ut.h"

namespace {

constexpr int kRefYear = 4;  // leap year that holds binary dates without a year
constexpr uint8_t kUnitMax[9] = {0, 99, 59, 59, 23, 31, 12, 99, 99};  // by unit

bool in_range(int unit, int high, int low) { return unit <= high && unit >= low; }
bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

uint32_t get_u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put_u32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}

constexpr int kCumDays[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// Days of the years before year (year >= 1).
int32_t days_before_year(int year) {
  int32_t y = year - 1;
  return 365 * y + y / 4 - y / 100 + y / 400;
}

// The full year of a date for calendar checks: the century as the range
// gives it (stored, else the pivot's, else 19); without a year in the range
// the leap reference year.
int full_year(const uint8_t date[8], int high, int low) {
  if (!in_range(kUnitYear, high, low))
    return in_range(kUnitCentury, high, low) && date[0] && date[0] <= 99 ? date[0] * 100 : kRefYear;
  int yy = date[unit_index(kUnitYear)];
  if (high >= kUnitCentury) return date[0] * 100 + yy;
  int cc = date[0] ? date[0] : cv_default_century(yy);
  return cc * 100 + yy;
}

// Date units of the range all zero.
bool date_part_zero(const uint8_t date[8], int high, int low) {
  for (int u = high; u >= low && u >= kUnitDay; --u)
    if (date[unit_index(u)] != 0) return false;
  return true;
}

// Day of the year of the date (year as full_year gives it), 0 for a zero
// date part.
int day_of_year(const uint8_t date[8], int high, int low) {
  if (date_part_zero(date, high, low)) return 0;
  int y = full_year(date, high, low);
  if (y < 1) y = kRefYear;
  int m = in_range(kUnitMonth, high, low) ? date[2] : 1;
  if (m < 1 || m > 12) return 0;
  return kCumDays[m] + (m > 2 && cv_is_leap(y) ? 1 : 0) + date[3];
}

// Sets month and day from a day of the year; false when out of the year.
bool set_day_of_year(uint8_t date[8], int doy, int high, int low) {
  int y = full_year(date, high, low);
  if (y < 1) y = kRefYear;
  int leap = cv_is_leap(y) ? 1 : 0;
  if (doy < 1 || doy > 365 + leap) return false;
  int m = 12;
  while (kCumDays[m] + (m > 2 ? leap : 0) >= doy) --m;
  date[2] = uint8_t(m);
  date[3] = uint8_t(doy - kCumDays[m] - (m > 2 ? leap : 0));
  return true;
}

// Base values for units outside [low, high]; keep_century keeps the century
// when the year is in range (binary forms store it).
void clear_outside(uint8_t date[8], int high, int low, bool keep_century) {
  if (cv_date_is_special(date)) return;
  for (int u = 8; u >= 1; --u) {
    if (in_range(u, high, low)) continue;
    if (u == kUnitCentury && keep_century && high == kUnitYear) continue;
    date[unit_index(u)] = cv_unit_base(u);
  }
}

bool stores_century(uint8_t type) {
  return type == kDtBin || type == kDtBinJul || type == kDtHost || type == kDtStd;
}

// Digits of the text and packed forms, from the highest unit down.
int digit_count(int high, int low, int julian) {
  int n = 0;
  for (int u = high; u >= low; --u) {
    if (julian && u == kUnitMonth) continue;
    n += (julian && u == kUnitDay) ? 3 : 2;
  }
  return n;
}

// Reads the digit form (text and packed) into the date.
bool digits_to_date(const uint8_t* s, int high, int low, int julian, uint8_t date[8]) {
  int doy = -1;
  for (int u = high; u >= low; --u) {
    if (julian && u == kUnitMonth) continue;
    if (julian && u == kUnitDay) {
      doy = (s[0] - '0') * 100 + (s[1] - '0') * 10 + (s[2] - '0');
      s += 3;
      continue;
    }
    date[unit_index(u)] = uint8_t((s[0] - '0') * 10 + (s[1] - '0'));
    s += 2;
  }
  if (doy >= 0) {
    if (doy == 0) {
      date[2] = 0;
      date[3] = 0;
      if (!date_part_zero(date, high, low)) return false;
    } else if (!set_day_of_year(date, doy, high, low)) {
      return false;
    }
  }
  return true;
}

// Writes the digit form of a checked date.
void date_to_digits(const uint8_t date[8], int high, int low, int julian, char* s) {
  for (int u = high; u >= low; --u) {
    if (julian && u == kUnitMonth) continue;
    if (julian && u == kUnitDay) {
      int doy = day_of_year(date, high, low);
      s[0] = char('0' + doy / 100);
      s[1] = char('0' + doy / 10 % 10);
      s[2] = char('0' + doy % 10);
      s += 3;
      continue;
    }
    int v = date[unit_index(u)];
    s[0] = char('0' + v / 10);
    s[1] = char('0' + v % 10);
    s += 2;
  }
}

int refuse(DateDesc* d) {
  cv_date_set_invalid(d->date);
  d->msg = kMsgBadDate;
  return 0;
}

// Finishes a read: base values outside the range, then the check.
int finish_read(DateDesc* d) {
  if (cv_date_is_high(d->date)) return 1;
  clear_outside(d->date, d->high, d->low, stores_century(d->type));
  if (!cv_date_check(d->date, d->high, d->low)) return refuse(d);
  return 1;
}

bool bad_range(const DateDesc* d) {
  return d->high > 8 || d->low < 1 || d->low > d->high;
}

uint8_t g_all_units[8] = {8, 7, 6, 5, 4, 3, 2, 1};
DateMaskSource g_mask_source = nullptr;

}  // namespace

// ------------------------------------------------------------ descriptors --
void cv_date_desc_load(const DateDescRec& r, DateDesc& d) {
  d.len = r.len;
  d.value = r.value.get();
  d.mask_len = r.mask_len;
  d.mask = r.mask.get();
  std::memcpy(d.date, r.date.b, 8);
  d.high = r.high;
  d.low = r.low;
  d.type = r.type;
  d.julian = r.julian;
  d.msg = 0;
}

void cv_date_desc_save(const DateDesc& d, DateDescRec& r) {
  std::memset(&r, 0, sizeof r);
  r.len = d.len;
  r.value.set(d.value);
  r.mask_len = d.mask_len;
  r.mask.set(d.mask);
  std::memcpy(r.date.b, d.date, 8);
  r.high = d.high;
  r.low = d.low;
  r.type = d.type;
  r.julian = d.julian;
}

// ------------------------------------------------------------- calendar --
int32_t cv_days_from_civil(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > LAST_DAY(year, month))
    return 0;
  return days_before_year(year) + kCumDays[month] + (month > 2 && cv_is_leap(year) ? 1 : 0) + day;
}

bool cv_civil_from_days(int32_t day, int* year, int* month, int* mday) {
  if (day < 1 || day > kDayMax) return false;
  int32_t n = day - 1;
  int32_t c400 = n / 146097;
  n %= 146097;
  int32_t c100 = n / 36524;
  if (c100 == 4) c100 = 3;  // last day of a 400-year cycle
  n -= c100 * 36524;
  int32_t c4 = n / 1461;
  n %= 1461;
  int32_t c1 = n / 365;
  if (c1 == 4) c1 = 3;  // last day of a leap year
  n -= c1 * 365;
  int y = int(c400 * 400 + c100 * 100 + c4 * 4 + c1 + 1);
  int doy = int(n) + 1;
  int leap = cv_is_leap(y) ? 1 : 0;
  int m = 12;
  while (kCumDays[m] + (m > 2 ? leap : 0) >= doy) --m;
  *year = y;
  *month = m;
  *mday = doy - kCumDays[m] - (m > 2 ? leap : 0);
  return true;
}

// -------------------------------------------------------- internal dates --
void cv_date_set_high(uint8_t date[8]) { std::memset(date, kDateHighByte, 8); }
void cv_date_set_invalid(uint8_t date[8]) {
  std::memset(date, 0, 8);
  date[0] = kDateInvalidByte;
}
bool cv_date_is_high(const uint8_t date[8]) {
  for (int i = 0; i < 8; ++i)
    if (date[i] != kDateHighByte) return false;
  return true;
}
bool cv_date_is_zero(const uint8_t date[8]) {
  for (int i = 0; i < 8; ++i)
    if (date[i] != 0) return false;
  return true;
}

bool cv_date_check(const uint8_t date[8], int high, int low) {
  if (cv_date_is_high(date)) return true;
  if (cv_date_is_special(date)) return false;
  if (high > 8 || low < 1 || low > high) return false;
  for (int u = high; u >= low; --u)
    if (date[unit_index(u)] > kUnitMax[u]) return false;
  if (high < kUnitDay || date_part_zero(date, high, low)) return true;
  if (in_range(kUnitMonth, high, low) && date[2] < 1) return false;
  if (in_range(kUnitDay, high, low)) {
    int m = in_range(kUnitMonth, high, low) ? date[2] : 1;
    int y = full_year(date, high, low);
    if (date[3] < 1 || date[3] > LAST_DAY(y < 1 ? kRefYear : y, m)) return false;
  }
  if (high == kUnitCentury && low <= kUnitYear && date[0] * 100 + date[1] < 1) return false;
  return true;
}

void cv_date_clear_parts(DateDesc* d) { clear_outside(d->date, d->high, d->low, false); }

void cv_date_limit_parts(DateDesc* d) {
  uint8_t* t = d->date;
  if (cv_date_is_special(t)) return;
  for (int u = 8; u >= 1; --u) {
    uint8_t& v = t[unit_index(u)];
    if (!in_range(u, d->high, d->low)) {
      v = cv_unit_base(u);
    } else if (u == kUnitMonth) {
      if (v < 1) v = 1;
      if (v > 12) v = 12;
    } else if (u != kUnitDay && v > kUnitMax[u]) {
      v = kUnitMax[u];
    }
  }
  if (in_range(kUnitDay, d->high, d->low)) {
    int y = full_year(t, d->high, d->low);
    int last = LAST_DAY(y < 1 ? kRefYear : y, t[2] >= 1 && t[2] <= 12 ? t[2] : 1);
    if (t[3] < 1) t[3] = 1;
    if (t[3] > last) t[3] = uint8_t(last);
  }
}

// ------------------------------------------------------------------ pivot --
void cv_date_init() {
  com.date_pivot = 0;
  const char* s = std::getenv("QUVO_CENTURY_PIVOT");
  if (s && is_digit(uint8_t(s[0])) && is_digit(uint8_t(s[1])) && s[2] == 0)
    com.date_pivot = uint8_t((s[0] - '0') * 10 + (s[1] - '0') + 1);
}

int cv_date_pivot_year() {
  int p = com.date_pivot;
  return p >= 1 && p <= 100 ? p - 1 : -1;
}

void cv_date_set_pivot(int pivot) {
  com.date_pivot = pivot >= 0 && pivot <= 99 ? uint8_t(pivot + 1) : 0;
}

bool cv_pivot_century(int yy, int* century) {
  int p = cv_date_pivot_year();
  if (p < 0) return false;
  *century = yy < p ? 20 : 19;
  return true;
}

int cv_default_century(int yy) {
  int c = 19;
  cv_pivot_century(yy, &c);
  return c;
}

bool cv_date_pivot(const void*, DateDesc* d, int) {
  if (d->high != kUnitYear || d->low > kUnitYear || cv_date_is_special(d->date)) return false;
  if (stores_century(d->type)) {
    if (d->date[0] == 0 && !date_part_zero(d->date, d->high, d->low))
      d->date[0] = uint8_t(cv_default_century(d->date[1]));
    d->high = kUnitCentury;
    return true;
  }
  int c;
  if (!cv_pivot_century(d->date[1], &c)) return false;
  d->date[0] = uint8_t(c);
  d->high = kUnitCentury;
  return true;
}

// ------------------------------------------------------------------ masks --
int cv_date_stored_len(int type, int high, int low, int julian) {
  switch (type) {
    case kDtText: case kDtTextJul: return digit_count(high, low, julian);
    case kDtPacked: return digit_count(high, low, 0) / 2 + 1;  // high - low + 2
    case kDtPackedJul: {  // 10 - low from the century; never fewer than the digits need
      int n = 10 - low, need = digit_count(high, low, 1) / 2 + 1;
      return n > need ? n : need;
    }
    case kDtBin: case kDtBinJul: return (high >= kUnitDay && low < kUnitDay) ? 8 : 4;
    case kDtHost: case kDtStd: return 8;
    case kDtUniversal: return 16;
    default: return 0;
  }
}

int cv_date_msk_width(const uint8_t* mask, int mask_len) {
  int w = 0;
  for (int i = 0; i < mask_len; ++i) w += mask[i] == kMskJulDay ? 3 : mask[i] <= 8 ? 2 : 1;
  return w;
}

int cv_cmpl_date_msk(DateDesc* d) {
  if (!d->mask) { d->msg = kMsgBadDate; return 0; }
  size_t n = ut_buflen(d->mask, d->mask_len);
  const uint8_t* t = d->mask;
  std::string out;
  int high = 0, low = 9, julian = 0;
  auto unit = [&](int u) {
    out.push_back(char(u));
    if (u > high) high = u;
    if (u < low) low = u;
  };
  size_t i = 0;
  bool bad = false;
  while (i < n && !bad) {
    uint8_t c = t[i];
    if (c == '\\') {
      if (i + 1 >= n || t[i + 1] < 0x20) { bad = true; break; }
      out.push_back(char(t[i + 1]));
      i += 2;
    } else if (c == '"') {
      size_t j = i + 1;
      while (j < n && t[j] != '"') {
        if (t[j] < 0x20) { bad = true; break; }
        out.push_back(char(t[j++]));
      }
      if (j >= n) bad = true;
      i = j + 1;
    } else if (is_digit(c)) {
      if (c == '0' && i + 2 < n && t[i + 1] == '0' && t[i + 2] == '5') {
        out.push_back(char(kMskJulDay));
        julian = 1;
        if (kUnitDay > high) high = kUnitDay;
        if (kUnitDay < low) low = kUnitDay;
        i += 3;
      } else if (c == '0' && i + 1 < n && t[i + 1] >= '1' && t[i + 1] <= '8') {
        unit(t[i + 1] - '0');
        i += 2;
      } else if (c >= '1' && c <= '8' && i + 1 < n && t[i + 1] == c) {
        unit(c - '0');
        i += 2;
      } else {
        bad = true;
      }
    } else if (c < 0x20) {
      bad = true;
    } else {
      out.push_back(char(c));
      ++i;
    }
  }
  if (bad) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "cv_cmpl_date_msk() - bad mask token");
    d->msg = kMsgBadDate;
    os_sys_err("CVDAT", __LINE__);
    return 0;
  }
  if (high == 0) { d->msg = kMsgBadDate; return 0; }
  if (julian && high < kUnitMonth) high = kUnitMonth;  // the day of the year carries the month
  std::memcpy(d->mask, out.data(), out.size());
  d->mask_len = uint16_t(out.size());
  d->high = uint8_t(high);
  d->low = uint8_t(low);
  d->julian = uint8_t(julian);
  switch (d->type) {
    case kDtText: case kDtTextJul: d->type = julian ? kDtTextJul : kDtText; break;
    case kDtBin: case kDtBinJul: d->type = julian ? kDtBinJul : kDtBin; break;
    case kDtPacked: case kDtPackedJul: d->type = julian ? kDtPackedJul : kDtPacked; break;
    default: break;
  }
  if (d->type != kDtUniversal) d->len = uint16_t(cv_date_stored_len(d->type, high, low, julian));
  d->msg = 0;
  return 1;
}

// ------------------------------------------------------------ conversions --
int cv_date_from_universal(const char* text, size_t len, uint8_t date[8]) {
  size_t n = text ? ut_buflen(text, len) : 0;
  if (n == 0) { cv_date_set_high(date); return 1; }
  if (n > 16 || n % 2) return 0;
  for (int i = 0; i < 8; ++i) {
    int u = 8 - i;
    size_t p = size_t(2 * i);
    if (p >= n) { date[i] = cv_unit_base(u); continue; }
    uint8_t a = uint8_t(text[p]), b = uint8_t(text[p + 1]);
    if (is_digit(a) && is_digit(b)) date[i] = uint8_t((a - '0') * 10 + (b - '0'));
    else if (a == '-' && b == '-') date[i] = cv_unit_base(u);
    else return 0;
  }
  return 1;
}

void cv_date_to_universal(const uint8_t date[8], int high, int low, char* out, size_t len) {
  char s[16];
  bool blank = cv_date_is_high(date);
  for (int i = 0; i < 8; ++i) {
    int u = 8 - i;
    if (blank) { s[2 * i] = s[2 * i + 1] = ' '; continue; }
    if (!in_range(u, high, low) || date[i] > 99) { s[2 * i] = s[2 * i + 1] = '-'; continue; }
    s[2 * i] = char('0' + date[i] / 10);
    s[2 * i + 1] = char('0' + date[i] % 10);
  }
  size_t n = len < 16 ? len & ~size_t(1) : 16;  // whole units only
  std::memcpy(out, s, n);
  if (len > n) std::memset(out + n, ' ', len - n);
}

int cv_ntos_date(DateDesc* d) {
  d->msg = 0;
  if (!d->value || bad_range(d)) return refuse(d);
  const uint8_t* v = d->value;
  uint8_t* t = d->date;
  switch (d->type) {
    case kDtText: case kDtTextJul: {
      int jul = d->type == kDtTextJul;
      int nd = digit_count(d->high, d->low, jul);
      if (ut_is_all(v, ' ', d->len)) { cv_date_set_high(t); return 1; }
      if (d->len < nd) return refuse(d);
      for (int i = 0; i < nd; ++i)
        if (!is_digit(v[i])) return refuse(d);
      if (!ut_is_all(v + nd, ' ', size_t(d->len - nd))) return refuse(d);
      std::memset(t, 0, 8);
      if (!digits_to_date(v, d->high, d->low, jul, t)) return refuse(d);
      return finish_read(d);
    }
    case kDtPacked: case kDtPackedJul: {
      int jul = d->type == kDtPackedJul;
      int nd = digit_count(d->high, d->low, jul);
      int nib = 2 * d->len - 1;  // digit nibbles
      if (d->len < 1 || nib < nd || nib > 40) return refuse(d);
      uint8_t sign = v[d->len - 1] & 0x0F;
      if (sign != (com.pd_pos & 0x0F) && sign != (com.pd_neg & 0x0F)) return refuse(d);
      char digits[40];
      for (int i = 0; i < nib; ++i) {
        uint8_t b = v[i / 2];
        uint8_t x = (i % 2) ? (b & 0x0F) : (b >> 4);
        if (x > 9) return refuse(d);
        digits[i] = char('0' + x);
      }
      if (sign == (com.pd_neg & 0x0F)) {
        bool zero = true;
        for (int i = 0; i < nib; ++i) zero = zero && digits[i] == '0';
        if (!zero) { cv_date_set_high(t); return 1; }
      }
      for (int i = 0; i < nib - nd; ++i)
        if (digits[i] != '0') return refuse(d);
      std::memset(t, 0, 8);
      if (!digits_to_date(reinterpret_cast<const uint8_t*>(digits + nib - nd), d->high, d->low, jul, t))
        return refuse(d);
      return finish_read(d);
    }
    case kDtBin: case kDtBinJul: case kDtHost: {
      bool host = d->type == kDtHost;
      int len = host ? 8 : d->len;
      if (len != 4 && len != 8) return refuse(d);
      int high = host ? 8 : d->high;
      uint32_t w0 = get_u32(v), w1 = len == 8 ? get_u32(v + 4) : 0;
      if (len == 4 && w0 == 0xFFFFFFFFu) { cv_date_set_high(t); return 1; }
      if (len == 8 && (w0 == 0xFFFFFFFFu || w1 == 0xFFFFFFFFu)) {
        if (w0 == w1) { cv_date_set_high(t); return 1; }
        return refuse(d);
      }
      bool has_date = len == 8 || high >= kUnitDay;
      uint32_t day = has_date ? w0 : 0;
      uint32_t hs = len == 8 ? w1 : (has_date ? 0 : w0);
      std::memset(t, 0, 8);
      if (day != 0) {
        int y, m, md;
        if (day > uint32_t(kDayMax) || !cv_civil_from_days(int32_t(day), &y, &m, &md)) return refuse(d);
        t[0] = uint8_t(y / 100);
        t[1] = uint8_t(y % 100);
        t[2] = uint8_t(m);
        t[3] = uint8_t(md);
      }
      if (hs >= kDayHundredths) return refuse(d);
      t[4] = uint8_t(hs / 360000);
      t[5] = uint8_t(hs / 6000 % 60);
      t[6] = uint8_t(hs / 100 % 60);
      t[7] = uint8_t(hs % 100);
      if (host) return 1;
      return finish_read(d);
    }
    case kDtStd: {
      if (d->len < 8) return refuse(d);
      std::memcpy(t, v, 8);
      if (cv_date_is_special(t) && !cv_date_is_high(t)) return refuse(d);
      return finish_read(d);
    }
    case kDtUniversal: {
      if (!cv_date_from_universal(reinterpret_cast<const char*>(v), d->len, t)) return refuse(d);
      return finish_read(d);
    }
    default:
      return refuse(d);
  }
}

int cv_ston_date(DateDesc* d) {
  d->msg = 0;
  if (!d->value || bad_range(d)) { d->msg = kMsgBadDate; return 0; }
  uint8_t* v = d->value;
  uint8_t w[8];
  std::memcpy(w, d->date, 8);
  bool high = cv_date_is_high(w);
  bool keep = stores_century(d->type);
  int hi = d->high, lo = d->low;
  if (d->type == kDtHost) hi = 8, lo = 1;
  if (!high) {
    clear_outside(w, hi, lo, keep);
    if (!cv_date_check(w, hi, lo)) { d->msg = kMsgBadDate; return 0; }
  }
  switch (d->type) {
    case kDtText: case kDtTextJul: {
      int jul = d->type == kDtTextJul;
      int nd = digit_count(hi, lo, jul);
      if (d->len < nd) { d->msg = kMsgBadDate; return 0; }
      if (high) { std::memset(v, ' ', d->len); return 1; }
      char s[24];
      date_to_digits(w, hi, lo, jul, s);
      std::memcpy(v, s, size_t(nd));
      std::memset(v + nd, ' ', size_t(d->len - nd));
      return 1;
    }
    case kDtPacked: case kDtPackedJul: {
      int jul = d->type == kDtPackedJul;
      int nd = digit_count(hi, lo, jul);
      int nib = 2 * d->len - 1;
      if (d->len < 1 || nib < nd || nib > 40) { d->msg = kMsgBadDate; return 0; }  // (as read back)
      if (high) return pd_cvp(v, d->len, -1) ? 1 : (d->msg = kMsgBadDate, 0);  // the null value
      std::memset(v, 0, d->len);
      char s[24];
      date_to_digits(w, hi, lo, jul, s);
      v[d->len - 1] = uint8_t(com.pd_pos & 0x0F);
      for (int i = 0; i < nd; ++i) {  // digit i of nd lands at nibble nib - nd + i
        int k = nib - nd + i;
        uint8_t x = uint8_t(s[i] - '0');
        v[k / 2] |= (k % 2) ? x : uint8_t(x << 4);
      }
      return 1;
    }
    case kDtBin: case kDtBinJul: case kDtHost: {
      int len = d->type == kDtHost ? 8 : d->len;
      if (len != 4 && len != 8) { d->msg = kMsgBadDate; return 0; }
      if (high) { std::memset(v, 0xFF, size_t(len)); return 1; }
      bool has_date = len == 8 || hi >= kUnitDay;
      uint32_t day = 0;
      if (has_date && !date_part_zero(w, hi, lo)) {
        int y = full_year(w, hi, lo);
        day = uint32_t(cv_days_from_civil(y, w[2], w[3]));
        if (day == 0) { d->msg = kMsgBadDate; return 0; }
      }
      uint32_t hs = ((uint32_t(w[4]) * 60 + w[5]) * 60 + w[6]) * 100 + w[7];
      if (len == 8) {
        put_u32(v, day);
        put_u32(v + 4, hs);
      } else {
        put_u32(v, has_date ? day : hs);
      }
      return 1;
    }
    case kDtStd:
      if (d->len < 8) { d->msg = kMsgBadDate; return 0; }
      std::memcpy(v, w, 8);
      return 1;
    case kDtUniversal:
      if (d->len < 2 * (9 - lo)) { d->msg = kMsgBadDate; return 0; }  // room down to the lowest unit
      cv_date_to_universal(w, hi, lo, reinterpret_cast<char*>(v), d->len);
      return 1;
    default:
      d->msg = kMsgBadDate;
      return 0;
  }
}

int32_t cv_get_days(const DateDesc* d, int) {
  const uint8_t* t = d->date;
  if (cv_date_is_special(t) || cv_date_is_zero(t)) return 0;
  if (t[0] > 99 || t[1] > 99) return 0;
  return cv_days_from_civil(t[0] * 100 + t[1], t[2], t[3]);
}

// -------------------------------------------------------- display, entry --
int cv_date_std_to_text(DateDesc* d, char* out, size_t width) {
  const uint8_t* t = d->date;
  int w = cv_date_msk_width(d->mask, d->mask_len);
  d->msg = 0;
  if (cv_date_is_high(t)) { std::memset(out, ' ', width); return 1; }
  if (cv_date_is_special(t) || !d->mask) {
    std::memset(out, ' ', width);
    d->msg = kMsgBadDate;
    return 0;
  }
  for (int u = 8; u >= 1; --u)
    if (t[unit_index(u)] > 99) { std::memset(out, ' ', width); d->msg = kMsgBadDate; return 0; }
  std::string s;
  s.reserve(size_t(w));
  for (int i = 0; i < d->mask_len; ++i) {
    uint8_t k = d->mask[i];
    if (k == kMskJulDay) {
      if (!in_range(kUnitDay, d->high, d->low)) { s += "---"; continue; }
      int doy = day_of_year(t, d->high, d->low);
      s.push_back(char('0' + doy / 100));
      s.push_back(char('0' + doy / 10 % 10));
      s.push_back(char('0' + doy % 10));
    } else if (k >= 1 && k <= 8) {
      if (!in_range(k, d->high, d->low)) { s += "--"; continue; }
      int v = t[unit_index(k)];
      s.push_back(char('0' + v / 10));
      s.push_back(char('0' + v % 10));
    } else {
      s.push_back(char(k));
    }
  }
  size_t n = s.size() < width ? s.size() : width;
  std::memcpy(out, s.data(), n);
  std::memset(out + n, ' ', width - n);
  if (s.size() > width) { d->msg = kMsgNoFit; return 0; }
  return 1;
}

int cv_date_text_to_std(DateDesc* d, const char* text, size_t len, uint32_t* msg) {
  auto fail = [&]() {
    cv_date_set_invalid(d->date);
    d->msg = kMsgBadDate;
    if (msg) *msg = kMsgBadDate;
    return 0;
  };
  d->msg = 0;
  if (msg) *msg = 0;
  if (!d->mask || bad_range(d)) return fail();
  const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
  size_t b = 0, e = text ? len : 0;
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  if (b == e) { cv_date_set_high(d->date); return 1; }
  int val[10];
  for (int& x : val) x = -2;  // -2 not in the mask, -1 given as dashes
  size_t k = b;
  for (int i = 0; i < d->mask_len; ++i) {
    uint8_t tok = d->mask[i];
    if (tok > kMskJulDay) {  // literal: any one non-digit, or nothing before a digit
      if (k < e && (s[k] == tok || !is_digit(s[k]))) ++k;
      continue;
    }
    if (tok == 0) return fail();
    int wid = tok == kMskJulDay ? 3 : 2;
    while (k < e && s[k] == ' ') ++k;
    if (k >= e) return fail();
    if (s[k] == '-') {
      int n = 0;
      while (k < e && s[k] == '-' && n < wid) ++k, ++n;
      val[tok] = -1;
      continue;
    }
    int n = 0, v = 0;
    while (k < e && is_digit(s[k]) && n < wid) v = v * 10 + (s[k++] - '0'), ++n;
    if (n == 0) return fail();
    val[tok] = v;
  }
  if (k != e) return fail();
  uint8_t t[8];
  for (int u = 8; u >= 1; --u) {
    int v = val[u];
    t[unit_index(u)] = (v >= 0 && in_range(u, d->high, d->low)) ? uint8_t(v) : cv_unit_base(u);
  }
  // A field that stores its century keeps it when the mask shows none, so
  // that the text shown, entered again, gives back the same date (the pivot
  // or the 1900s only apply to a field without a date yet).
  if (val[kUnitCentury] == -2 && val[kUnitYear] >= 0 && in_range(kUnitYear, d->high, d->low) &&
      stores_century(d->type) && d->value) {
    DateDesc cur = *d;
    if (cv_ntos_date(&cur) && !cv_date_is_special(cur.date) && cur.date[0] >= 1 && cur.date[0] <= 99)
      t[0] = cur.date[0];
  }
  if (val[kMskJulDay] >= 0 && in_range(kUnitDay, d->high, d->low)) {
    int doy = val[kMskJulDay];
    if (doy == 0) {
      t[2] = t[3] = 0;
      if (!date_part_zero(t, d->high, d->low)) return fail();
    } else if (!set_day_of_year(t, doy, d->high, d->low)) {
      return fail();
    }
  }
  if (!cv_date_check(t, d->high, d->low)) return fail();
  std::memcpy(d->date, t, 8);
  return 1;
}

int cv_date_itoe(DateDesc* d, char* out, size_t width, uint32_t* msg) {
  if (msg) *msg = 0;
  if (!cv_ntos_date(d)) {
    std::memset(out, ' ', width);
    if (msg) *msg = d->msg;
    return 0;
  }
  int r = cv_date_std_to_text(d, out, width);
  if (msg) *msg = d->msg;
  return r;
}

int cv_date_etoi(DateDesc* d, const char* text, size_t len, uint32_t* msg) {
  if (!cv_date_text_to_std(d, text, len, msg)) return 0;
  int r = cv_ston_date(d);
  if (msg) *msg = d->msg;
  return r;
}

// ---------------------------------------------------- descriptor builders --
DateDesc* UNIVERSAL_DATE(DateDesc* d, void* address, size_t length) {
  d->len = uint16_t(length);
  d->value = static_cast<uint8_t*>(address);
  d->mask = g_all_units;
  d->mask_len = 8;
  d->high = 8;
  d->low = 1;
  d->type = kDtUniversal;
  d->julian = 0;
  d->msg = 0;
  return d;
}

DateDesc* STAMP_DATE(const uint8_t date[8], const DateStampRec& stamp, uint8_t* record, DateDesc* d) {
  if (stamp.offset.get() < 0 || !record) return nullptr;
  d->value = record + stamp.offset.get();
  d->len = stamp.len;
  d->type = stamp.type;
  d->high = stamp.high;
  d->low = stamp.low;
  d->julian = stamp.julian;
  d->mask = const_cast<uint8_t*>(stamp.mask.b);
  d->mask_len = stamp.mask_len;
  std::memcpy(d->date, date, 8);
  d->msg = 0;
  return d;
}

DateDesc* INT_DATE(DateDesc* d, const DateItemView& item, int direct) {
  d->value = direct ? item.stored : item.display;
  d->len = direct ? item.len : item.display_len;
  d->mask = item.mask;
  d->mask_len = item.mask_len;
  d->type = item.type;
  d->high = item.high;
  d->low = item.low;
  d->julian = item.julian;
  d->msg = 0;
  return d;
}

int GREG_BIN_TO_STD(DateDesc* d, void* address) {
  d->value = static_cast<uint8_t*>(address);
  d->len = 8;
  d->type = kDtHost;
  d->high = 8;
  d->low = 1;
  d->julian = 0;
  return cv_ntos_date(d);
}

int STD_TO_GREG_BIN(DateDesc* d, void* address) {
  DateDesc t = *d;
  t.value = static_cast<uint8_t*>(address);
  t.len = 8;
  t.type = kDtHost;
  t.high = 8;
  t.low = 1;
  int r = cv_ston_date(&t);
  d->msg = t.msg;
  return r;
}

bool cv_host_time_text(char* out, size_t len, const void* host_time) {
  uint8_t copy[8];
  std::memcpy(copy, host_time, 8);
  DateDesc d;
  if (!GREG_BIN_TO_STD(&d, copy)) {
    std::memset(out, ' ', len);
    return false;
  }
  cv_date_to_universal(d.date, 8, 1, out, len);
  return true;
}

// ------------------------------------------------------------------ names --
size_t cv_day_name(int weekday, bool short_form, char* out, size_t width) {
  if (weekday < 1 || weekday > 7) { std::memset(out, ' ', width); return 0; }
  int i = weekday - 1;
  if (short_form) return ut_cpy_case('C', out, width, com.day_abbr[i].data(), 3);
  return ut_cpy_case('C', out, width, com.day_full[i].data(), com.day_len[i] > 10 ? 10 : com.day_len[i]);
}

size_t cv_month_name(int month, bool short_form, char* out, size_t width) {
  if (month < 1 || month > 12) { std::memset(out, ' ', width); return 0; }
  int i = month - 1;
  if (short_form) return ut_cpy_case('C', out, width, com.month_abbr[i].data(), 3);
  return ut_cpy_case('C', out, width, com.month_full[i].data(),
                     com.month_len[i] > 10 ? 10 : com.month_len[i]);
}

void ut_set_date_msk_source(DateMaskSource source) { g_mask_source = source; }

void ut_get_date_msk(const char* application, const char* version, char mask[60]) {
  if (g_mask_source && g_mask_source(application, version, mask) && !ut_is_all(mask, ' ', 60)) return;
  std::string t = la_text(760);
  if (t.empty()) t = kDateMaskAll;
  ut_cpy_fill(mask, t.substr(0, 60).c_str(), 60);
}
