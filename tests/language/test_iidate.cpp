// The date instructions on hand-assembled code against <chrono>: DATE ADD
// in every unit, DATE BTW, SET DAY, SET MNTH and the conversions, over
// random dates of 0001-9999 and counts, with the month ends, the century
// pivot and 102540 at the calendar's limits.
#include <algorithm>
#include <chrono>
#include <random>
#include <string>

#include "foundation/bi.h"
#include "foundation/pacdec.h"
#include "foundation/pd.h"
#include "foundation/os.h"
#include "language/ibdate.h"
#include "language/ii2_fix.h"

namespace {

namespace ch = std::chrono;
constexpr ch::sys_days kDay1 = ch::sys_days(ch::year(1) / 1 / 1);

// A date and time of day as the oracle keeps it.
struct Dt {
  ch::year_month_day ymd;
  int64_t tod = 0;  // hundredths of the day
  int64_t day() const { return (ch::sys_days(ymd) - kDay1).count() + 1; }
};
Dt from_day(int64_t day, int64_t tod = 0) {
  return Dt{ch::year_month_day(kDay1 + ch::days(day - 1)), tod};
}

// The internal standard date (storage type 15): the field's 8 unit bytes.
const IbDateOp kStd{15, 8, "0807060504030201"};

class IiDate : public ii2::TwoFields {
 protected:
  std::mt19937_64 rng{ii2::seed()};
  void TearDown() override {
    cv_date_set_pivot(-1);
    ii2::TwoFields::TearDown();
  }
  static void put_std(uint8_t* p, const Dt& d) {
    int y = int(d.ymd.year());
    int64_t t = d.tod;
    uint8_t u[8] = {uint8_t(y / 100), uint8_t(y % 100), uint8_t(unsigned(d.ymd.month())), uint8_t(unsigned(d.ymd.day())),
                    uint8_t(t / 360000), uint8_t(t / 6000 % 60), uint8_t(t / 100 % 60), uint8_t(t % 100)};
    std::memcpy(p, u, 8);
  }
  static std::string text(const Dt& d) {
    char b[40];
    int64_t t = d.tod;
    std::snprintf(b, sizeof b, "%04d%02u%02u%02d%02d%02d%02d", int(d.ymd.year()), unsigned(d.ymd.month()),
                  unsigned(d.ymd.day()), int(t / 360000), int(t / 6000 % 60), int(t / 100 % 60), int(t % 100));
    return b;
  }
  static std::string std_text(const uint8_t* p) {
    char b[40];
    std::snprintf(b, sizeof b, "%02d%02d%02d%02d%02d%02d%02d%02d", p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
    return b;
  }
  Dt any_date() {
    if (rng() % 10 == 0) {  // a month end
      auto ym = ch::year(int(1 + rng() % 9999)) / ch::month(unsigned(1 + rng() % 12));
      return Dt{ch::year_month_day(ym / ch::last), int64_t(rng() % kDayHundredths)};
    }
    return from_day(int64_t(1 + rng() % kDayMax), int64_t(rng() % kDayHundredths));
  }
  // Runs DATE ADD of n (signed 4-byte binary at b) in unit 1-8 on the date
  // at a: its text, or "E" and the message.
  std::string add(const Dt& d, int unit, int32_t n) {
    static const uint32_t kFactor[9] = {0, 1, 100, 6000, 360000, 1, 1, 12, 1200};
    uint16_t op = unit <= 4 ? kOpDateAddTh : unit == 5 ? kOpDateAddDd : kOpDateAddMm;
    put_std(fa, d);
    rec::view<rec::U32>(fb) = uint32_t(n);
    int rc = go([&] { bld_date_add(&m.code, kStd, 5, 4, true, 0, kFactor[unit], op); });
    // A refused addition leaves the date as it was.
    if (rc != 1 && std_text(fa) != text(d)) return "changed " + std_text(fa);
    return rc == 1 ? std_text(fa) : "E" + std::to_string(last_err());
  }
  // The difference second minus first in a unit: the status record's
  // DATE DIFFERENCE, or "E" and the message.
  std::string btw(const Dt& a, const Dt& b, int unit) {
    static const uint32_t kFactor[9] = {0, 1, 100, 6000, 360000, 1, 1, 12, 1200};
    uint16_t op = unit <= 4 ? kOpDateBtwTh : unit == 5 ? kOpDateBtwDd : kOpDateBtwMm;
    put_std(fa, a);
    put_std(fb, b);
    int rc = go([&] { bld_date_btw(&m.code, kStd, kStd, kFactor[unit], op); });
    if (rc != 1) return "E" + std::to_string(last_err());
    bool ok = false;
    int64_t v = pd_cvb64(reinterpret_cast<uint8_t*>(m.status) + 47, 8, &ok);
    return ok ? std::to_string(v) : "bad packed";
  }
};

// DATE ADD in units 1-8 against the oracle: months keep the day within the
// new month, and a result outside 0001-01-01 .. 9999-12-31 (months past
// January 9999) is 102540 with the date unchanged.
TEST_F(IiDate, AddAgainstChrono) {
  for (long i = 0; i < ii2::cases(6000); ++i) {
    Dt d = any_date();
    int unit = int(1 + rng() % 8);
    int32_t n = int32_t(rng() % 3 == 0 ? int64_t(rng() % 2000000000) - 1000000000 : int64_t(rng() % 200001) - 100000);
    if (unit >= 7) n /= 1000;
    std::string want;
    if (unit >= 6) {
      static const int kF[9] = {0, 0, 0, 0, 0, 0, 1, 12, 1200};
      int64_t months = int64_t(int(d.ymd.year())) * 12 + unsigned(d.ymd.month()) - 1 + int64_t(n) * kF[unit];
      if (months < 12 || months > 119988) {
        want = "E102540";
      } else {
        auto ym = ch::year(int(months / 12)) / ch::month(unsigned(months % 12 + 1));
        auto last = ch::year_month_day_last(ym / ch::last).day();
        Dt r{ch::year_month_day(ym / std::min(d.ymd.day(), last)), d.tod};
        want = text(r);
      }
    } else {
      static const int64_t kF[6] = {0, 1, 100, 6000, 360000, kDayHundredths};
      __int128 total = __int128(d.day()) * kDayHundredths + d.tod + __int128(n) * kF[unit];
      int64_t day = int64_t(total / kDayHundredths), tod = int64_t(total % kDayHundredths);
      if (total < 0 || day < 1 || day > kDayMax) want = "E102540";
      else want = text(from_day(day, tod));
    }
    ASSERT_EQ(add(d, unit, n), want) << text(d) << " + " << n << " in unit " << unit;
  }
}

// The limits: the last day and one past it, the first day and one before,
// January 9999 and February; hours past 2^31 hundredths (n x factor in 64
// bits, where 32 bits overflow past about 5,965 hours).
TEST_F(IiDate, AddLimits) {
  Dt last = from_day(kDayMax), first = from_day(1);
  EXPECT_EQ(add(last, 5, 0), "9999123100000000");
  EXPECT_EQ(add(last, 5, 1), "E102540");
  EXPECT_EQ(add(last, 1, 8640000), "E102540");
  EXPECT_EQ(add(first, 5, -1), "E102540");
  EXPECT_EQ(add(first, 2, -1), "E102540");
  Dt dec = Dt{ch::year(9998) / 12 / 15, 0};
  EXPECT_EQ(add(dec, 6, 1), "9999011500000000");
  EXPECT_EQ(add(dec, 6, 2), "E102540");
  Dt jan31 = Dt{ch::year(2000) / 1 / 31, 0};
  EXPECT_EQ(add(jan31, 6, 1), "2000022900000000");
  EXPECT_EQ(add(Dt{ch::year(1900) / 1 / 31, 0}, 6, 1), "1900022800000000");
  // The zero date has no day to count from.
  for (int32_t n : {1, 1000, 800000}) {
    std::memset(fa, 0, 8);
    rec::view<rec::U32>(fb) = uint32_t(n);
    EXPECT_NE(go([&] { bld_date_add(&m.code, kStd, 5, 4, true, 0, 1, kOpDateAddDd); }), 1) << n;
    EXPECT_EQ(last_err(), 102540u) << n;
  }
  // A time that comes to midnight exactly: the next day's first hundredth,
  // and back to the day's own.
  EXPECT_EQ(add(Dt{ch::year(2000) / 2 / 28, kDayHundredths - 1}, 1, 1), "2000022900000000");
  EXPECT_EQ(add(Dt{ch::year(2000) / 2 / 29, 1}, 1, -1), "2000022900000000");
  EXPECT_EQ(add(Dt{ch::year(2000) / 2 / 29, 0}, 4, 24), "2000030100000000");
  EXPECT_EQ(add(Dt{ch::year(2000) / 2 / 29, 0}, 4, -24), "2000022800000000");
  EXPECT_EQ(add(Dt{ch::year(2000) / 1 / 1, 0}, 4, 100000), text(from_day(Dt{ch::year(2000) / 1 / 1, 0}.day() + 4166, 16 * 360000)));
}

// Days added to a CCYYMMDD text date (read and written straight) against
// the same addition on the internal standard date: the calendar's first and
// last days and one past, leap days, month ends and random dates, counts of
// every size; a text that is no valid date of its form is 102540 with the
// field unchanged, as the general reader decides.
TEST_F(IiDate, DaysAddedToATextDateAsToTheStandardForm) {
  const IbDateOp text8{kDtText, 8, "08070605"};
  auto add_text = [&](const std::string& t, int32_t n) {
    std::memcpy(fa, t.data(), 8);
    rec::view<rec::U32>(fb) = uint32_t(n);
    int rc = go([&] { bld_date_add(&m.code, text8, 5, 4, true, 0, 1, kOpDateAddDd); });
    std::string now(reinterpret_cast<char*>(fa), 8);
    if (rc != 1 && now != t) return "changed " + now;
    return rc == 1 ? now : "E" + std::to_string(last_err());
  };
  std::vector<Dt> dates = {from_day(1), from_day(kDayMax), Dt{ch::year(2000) / 2 / 29}, Dt{ch::year(1900) / 2 / 28},
                           Dt{ch::year(2004) / 2 / 29}, Dt{ch::year(1999) / 12 / 31}, Dt{ch::year(100) / 3 / 1}};
  for (int i = 0; i < 300; ++i) dates.push_back(Dt{any_date().ymd});
  for (const Dt& d : dates) {
    int64_t day = d.day();
    // (The month's last day and one past, its first and one before.)
    int64_t dd = unsigned(d.ymd.day()), last = unsigned((d.ymd.year() / d.ymd.month() / ch::last).day());
    for (int64_t n : {int64_t(0), int64_t(1), int64_t(-1), int64_t(365), int64_t(-366), kDayMax - day, kDayMax - day + 1,
                      1 - day, -day, int64_t(2000000000), int64_t(-2000000000), int64_t(rng() % 2000001) - 1000000,
                      last - dd, last - dd + 1, 1 - dd, -dd}) {
      if (n < INT32_MIN || n > INT32_MAX) continue;
      std::string general = add(d, 5, int32_t(n));
      if (general[0] != 'E') general = general.substr(0, 8);
      ASSERT_EQ(add_text(text(d).substr(0, 8), int32_t(n)), general) << text(d) << " + " << n;
    }
  }
  for (const char* bad : {"20230230", "20231301", "20230001", "20230100", "00000101", "2023 101", "2023010:", "/0230101",
                          "2023\xff" "101"})
    EXPECT_EQ(add_text(bad, 1), "E102540") << bad;
}

// SET DATE into a CCYYMMDD text date (written straight) against SET DATE
// into the internal standard date, at clocks set to a leap day, a year's
// end, the first year and the last (minutes from the day's end: the clock
// runs on between the two).
TEST_F(IiDate, TodayIntoATextDateAsIntoTheStandardForm) {
  const IbDateOp text8{kDtText, 8, "08070605"};
  for (const char* at : {"20240229120000", "19991231235000", "00010101000000", "99991231235000", "20000301000000"}) {
    setenv("QUVO_FAKE_TIME", at, 1);
    std::string err;
    ASSERT_TRUE(os_fake_time_load(&err)) << err;
    std::memset(fa, 'x', 8);
    ASSERT_EQ(go([&] { bld_set_date(&m.code, text8); }), 1) << at;
    std::string text_form(reinterpret_cast<char*>(fa), 8);
    ASSERT_EQ(go([&] { bld_set_date(&m.code, kStd); }), 1) << at;
    EXPECT_EQ(text_form, std_text(fa).substr(0, 8)) << at;
    EXPECT_EQ(text_form, std::string(at, 8)) << at;
  }
  unsetenv("QUVO_FAKE_TIME");
  std::string err;
  os_fake_time_load(&err);
}

// A count with decimals is cut toward zero: 1.9 days is one, -1.9 minus one.
TEST_F(IiDate, CountWithDecimalsIsCutTowardZero) {
  auto add_pd = [&](const char* count) {
    put_std(fa, Dt{ch::year(2024) / 3 / 10, 0});
    PdCva c{fb, 8, 0};
    pd_cva(count, int(std::strlen(count)), '.', &c);
    fb[8] = uint8_t(c.scale);
    int rc = go([&] { bld_date_add(&m.code, kStd, 12, 9, true, 0, 1, kOpDateAddDd); });
    return rc == 1 ? std_text(fa).substr(0, 8) : "E" + std::to_string(last_err());
  };
  EXPECT_EQ(add_pd("1.9"), "20240311");
  EXPECT_EQ(add_pd("-1.9"), "20240309");
  EXPECT_EQ(add_pd("0.99"), "20240310");
}

// Packed counts of days, fixed of every length 1-8 at its largest value
// (decimals cut toward zero) and variable, both signs, negative zeros and
// bytes that are no number, added to a text date against <chrono>: a
// result outside the calendar, or a count that does not read, is 102540.
TEST_F(IiDate, PackedCountsOfEveryLengthAgainstChrono) {
  const IbDateOp text8{kDtText, 8, "08070605"};
  const Dt from{ch::year(2000) / 1 / 31};
  auto run = [&](int type, int len, int scale) {
    std::memcpy(fa, text(from).data(), 8);
    int rc = go([&] { bld_date_add(&m.code, text8, uint8_t(type), uint8_t(len), true, uint8_t(scale), 1, kOpDateAddDd); });
    return rc == 1 ? std::string(reinterpret_cast<char*>(fa), 8) : "E" + std::to_string(last_err());
  };
  auto want = [&](int64_t n) {
    int64_t day = from.day() + n;
    return day < 1 || day > kDayMax ? std::string("E102540") : text(from_day(day)).substr(0, 8);
  };
  for (int len = 1; len <= 8; ++len) {
    int digits = 2 * len - 1, scale = std::max(0, digits - 7);
    int64_t max = int64_t(pacdec::pow10(digits)) - 1, whole = max / int64_t(pacdec::pow10(scale));
    for (int64_t v : {max, -max, max / 7, int64_t(1), int64_t(0)}) {
      ASSERT_TRUE(pd_cvp64(fb, len, v));
      EXPECT_EQ(run(8, len, scale), want(v / int64_t(pacdec::pow10(scale)))) << len << " " << v;
      ASSERT_TRUE(pd_cvp64(fb, 8, v));  // variable: the scale in its ninth byte
      fb[8] = uint8_t(scale);
      EXPECT_EQ(run(12, 9, 0), want(v / int64_t(pacdec::pow10(scale)))) << len << " " << v;
    }
    ASSERT_NE(whole, 0);
    ASSERT_TRUE(pd_cvp64(fb, len, 0));
    fb[len - 1] = uint8_t((fb[len - 1] & 0xF0) | com.pd_neg);  // a negative zero
    EXPECT_EQ(run(8, len, 0), want(0)) << len;
    fb[0] = 0xAB;  // no digits
    EXPECT_EQ(run(8, len, 0), "E102540") << len;
  }
  // Longer counts, fixed of 9-16 bytes and variable of 10-17, read the
  // long way: decimals cut toward zero as above.
  for (int len = 9; len <= 16; ++len)
    for (int64_t v : {int64_t(123456789012345), int64_t(-123456789012345), int64_t(1), int64_t(-4999)})
      for (int scale : {0, 1, 14}) {
        int64_t whole = v / int64_t(pacdec::pow10(scale));
        uint8_t w8[8];
        ASSERT_TRUE(pd_cvp64(w8, 8, v) && pd_set(fb, len, w8, 8)) << len << " " << v;
        EXPECT_EQ(run(8, len, scale), want(whole)) << len << " " << v << " " << scale;
        fb[len] = uint8_t(scale);
        EXPECT_EQ(run(12, len + 1, 0), want(whole)) << len << " " << v << " " << scale;
      }
}

// DATE BTW: months with both month ends counting as equal days, days and
// hundredths cut toward zero, each against the oracle's own rule.
TEST_F(IiDate, BetweenAgainstChrono) {
  auto is_end = [](const Dt& d) { return ch::year_month_day_last(d.ymd.year() / d.ymd.month() / ch::last).day() == d.ymd.day(); };
  for (long i = 0; i < ii2::cases(6000); ++i) {
    Dt a = any_date(), b = rng() % 3 ? any_date() : from_day(std::clamp<int64_t>(a.day() + int64_t(rng() % 120) - 60, 1, kDayMax), int64_t(rng() % kDayHundredths));
    int unit = int(1 + rng() % 8);
    int64_t want;
    if (unit >= 6) {
      static const int kF[9] = {0, 0, 0, 0, 0, 0, 1, 12, 1200};
      int64_t months = (int64_t(int(b.ymd.year())) - int(a.ymd.year())) * 12 + int64_t(unsigned(b.ymd.month())) -
                       int64_t(unsigned(a.ymd.month()));
      int64_t d2 = unsigned(b.ymd.day());
      if (is_end(a) && is_end(b)) d2 = unsigned(a.ymd.day());
      int64_t t1 = int64_t(unsigned(a.ymd.day())) * kDayHundredths + a.tod, t2 = d2 * kDayHundredths + b.tod;
      if (months > 0 && t1 > t2) --months;
      if (months < 0 && t1 < t2) ++months;
      want = months / kF[unit];
    } else if (unit == 5) {
      want = b.day() - a.day();
      if (want > 0 && a.tod > b.tod) --want;
      if (want < 0 && a.tod < b.tod) ++want;
    } else {
      static const int64_t kF[5] = {0, 1, 100, 6000, 360000};
      want = ((b.day() - a.day()) * int64_t(kDayHundredths) + b.tod - a.tod) / kF[unit];
    }
    ASSERT_EQ(btw(a, b, unit), std::to_string(want)) << text(a) << " .. " << text(b) << " unit " << unit;
  }
  // The Part's cases: month ends count as equal days; a day short is 0.
  auto d = [](int y, int mo, int dd, int64_t tod = 0) { return Dt{ch::year(y) / mo / dd, tod}; };
  EXPECT_EQ(btw(d(2023, 1, 31), d(2023, 2, 28), 6), "1");
  EXPECT_EQ(btw(d(2023, 1, 15), d(2023, 2, 14), 6), "0");
  EXPECT_EQ(btw(d(2023, 2, 14), d(2023, 1, 15), 6), "0");
  EXPECT_EQ(btw(d(2023, 3, 1, 10 * 360000), d(2023, 3, 2, 9 * 360000), 5), "0");
  EXPECT_EQ(btw(d(1, 1, 1), d(9999, 12, 31), 5), std::to_string(kDayMax - 1));
  // Days from or to the zero date: 102540.
  for (bool first : {true, false}) {
    put_std(first ? fb : fa, d(2023, 1, 15));
    std::memset(first ? fa : fb, 0, 8);
    EXPECT_NE(go([&] { bld_date_btw(&m.code, kStd, kStd, 1, kOpDateBtwDd); }), 1) << first;
    EXPECT_EQ(last_err(), 102540u) << first;
  }
  // Whole months and days at the same time of day are not cut.
  EXPECT_EQ(btw(d(2023, 3, 15), d(2023, 1, 15), 6), "-2");
  EXPECT_EQ(btw(d(2023, 3, 31), d(2023, 2, 28), 6), "-1");
  EXPECT_EQ(btw(d(2023, 3, 15, 5), d(2023, 3, 10, 5), 5), "-5");
  // Two forms: the units both have, the time of day of the first not
  // looked at against a text date to the day, the year not against one
  // from the month.
  auto btw2 = [&](const Dt& a, const IbDateOp& op, const char* b, uint32_t factor, uint16_t code) {
    put_std(fa, a);
    std::memcpy(fb, b, std::strlen(b));
    int rc = go([&] { bld_date_btw(&m.code, kStd, op, factor, code); });
    bool ok = false;
    return rc == 1 ? std::to_string(pd_cvb64(reinterpret_cast<uint8_t*>(m.status) + 47, 8, &ok)) : "E" + std::to_string(last_err());
  };
  EXPECT_EQ(btw2(d(2023, 1, 15, 12 * 360000), IbDateOp{kDtText, 8, "08070605"}, "20230120", 1, kOpDateBtwDd), "5");
  EXPECT_EQ(btw2(d(2023, 1, 15, 12 * 360000), IbDateOp{kDtText, 8, "08070605"}, "20230110", 1, kOpDateBtwDd), "-5");
  EXPECT_EQ(btw2(d(2021, 1, 15), IbDateOp{kDtText, 4, "0605"}, "0320", 1, kOpDateBtwMm), "2");
}

// SET DAY and SET MNTH name the oracle's weekday and month; the null date
// gives blanks.
TEST_F(IiDate, DayAndMonthNames) {
  static const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  static const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
  auto name = [&](const uint8_t* date8, bool day, bool short_form, const IbDateOp& op = kStd) {
    std::memcpy(fb, date8, 8);
    std::memset(fa, '.', 12);
    int rc = go([&] { bld_set_day(&m.code, 10, op, short_form, day ? kOpSetDay : kOpSetMnth); });
    std::string s = rc == 1 ? std::string(reinterpret_cast<char*>(fa), 10) : "E" + std::to_string(last_err());
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };
  for (long i = 0; i < ii2::cases(2000); ++i) {
    Dt d = any_date();
    put_std(fb, d);
    uint8_t u[8];
    std::memcpy(u, fb, 8);
    unsigned wd = ch::weekday(ch::sys_days(d.ymd)).c_encoding();
    ASSERT_EQ(name(u, true, false), kDays[wd]) << text(d);
    ASSERT_EQ(name(u, true, true), std::string(kDays[wd], 3)) << text(d);
    ASSERT_EQ(name(u, false, false), kMonths[unsigned(d.ymd.month()) - 1]) << text(d);
  }
  uint8_t high[8];
  std::memset(high, 0xFF, 8);
  EXPECT_EQ(name(high, true, false), "");
  // A year without its century: the 1900s without a pivot (1 January 1900
  // a Monday), the pivot's century with one (2000: a Saturday).
  const IbDateOp yymmdd{4, 6, "070605"};
  uint8_t text6[8] = {'0', '0', '0', '1', '0', '1', ' ', ' '};
  EXPECT_EQ(name(text6, true, false, yymmdd), "Monday");
  cv_date_set_pivot(50);
  EXPECT_EQ(name(text6, true, false, yymmdd), "Saturday");
}

// NUM_TO_DATE and DATE_TO_PD between CCYYMMDD numbers and a text date,
// ALP_TO_DATE and DATE_TO_ALP through the universal text, over random
// dates; a negative number and a logic blank give the null date.
TEST_F(IiDate, ConversionsRoundTrip) {
  const IbDateOp ccyymmdd{4, 8, "08070605"};
  uint32_t it;
  uint8_t* out = field(8, &it);
  for (long i = 0; i < ii2::cases(2000); ++i) {
    Dt d = any_date();
    std::string t = text(d).substr(0, 8);
    uint8_t num[5];
    PdCva c{num, 5, 0};
    ASSERT_EQ(pd_cva(t.c_str(), 8, '.', &c), 1);
    std::memcpy(fb, num, 5);
    ASSERT_EQ(go([&] { bld_cnv_date(&m.code, kOpNumToDate, ccyymmdd, 8, true, 5); }), 1) << t;
    ASSERT_EQ(std::string(reinterpret_cast<char*>(fa), 8), t);
    // Back: the digits of the date's units as a number in scratch value 1.
    std::memcpy(fb, fa, 8);
    ASSERT_EQ(go([&] {
                bld_cnv_date(&m.code, kOpDateToPd, ccyymmdd);
                bld_ira(&m.code, it, 1);
                bld_move_pd(&m.code, 16, 5);
              }),
              1);
    bool ok = false;
    ASSERT_EQ(pd_cvb64(out, 5, &ok), std::stoll(t));
    // The universal text of all units and back into the internal form.
    put_std(fb, d);
    ASSERT_EQ(go([&] {
                bld_cnv_date(&m.code, kOpDateToAlp, kStd);
                bld_move_char(&m.code, 32);
              }),
              1);
    ASSERT_EQ(std::string(reinterpret_cast<char*>(fa), 16), text(d));
    std::memcpy(fb, fa, 32);
    ASSERT_EQ(go([&] { bld_cnv_date(&m.code, kOpAlpToDate, kStd, 1, false, 32); }), 1);
    ASSERT_EQ(std_text(fa), text(d));
  }
  // A negative number, a logic blank: the null date (blanks in a text date).
  uint8_t neg[5] = {0, 0, 0, 0, 0x1D};
  std::memcpy(fb, neg, 5);
  ASSERT_EQ(go([&] { bld_cnv_date(&m.code, kOpNumToDate, ccyymmdd, 8, true, 5); }), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 8), "        ");
  fb[0] = ' ';
  std::memset(fa, '0', 8);
  ASSERT_EQ(go([&] { bld_cnv_date(&m.code, kOpLogToDate, ccyymmdd); }), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 8), "        ");
  // DATE_TO_PD of the null date is -1; DATE_TO_LOG is ' ' for it, '0' for
  // the zero date and '1' for any other, the first day too.
  std::memset(fb, ' ', 8);
  ASSERT_EQ(go([&] {
              bld_cnv_date(&m.code, kOpDateToPd, ccyymmdd);
              bld_ira(&m.code, it, 1);
              bld_move_pd(&m.code, 16, 5);
            }),
            1);
  bool ok = false;
  EXPECT_EQ(pd_cvb64(out, 5, &ok), -1);
  for (const char* date : {"        ", "00000000", "00010101", "99991231"}) {
    std::memcpy(fb, date, 8);
    fa[0] = 'x';
    ASSERT_EQ(go([&] { bld_cnv_date(&m.code, kOpDateToLog, ccyymmdd); }), 1) << date;
    EXPECT_EQ(fa[0], date[0] == ' ' ? ' ' : date[3] == '0' ? '0' : '1') << date;
  }
  // Zero: the zero date, not the null one.
  ASSERT_TRUE(pd_cvp64(fb, 5, 0));
  ASSERT_EQ(go([&] { bld_cnv_date(&m.code, kOpNumToDate, ccyymmdd, 8, true, 5); }), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 8), "00000000");
  // A number with more digits than the date's units is 102540.
  ASSERT_TRUE(pd_cvp64(fb, 16, 120240229));
  EXPECT_NE(go([&] { bld_cnv_date(&m.code, kOpNumToDate, ccyymmdd, 8, true, 16); }), 1);
  EXPECT_EQ(last_err(), 102540u);
  // The longest fixed number, 16 bytes.
  ASSERT_TRUE(pd_cvp64(fb, 16, 20240229));
  ASSERT_EQ(go([&] { bld_cnv_date(&m.code, kOpNumToDate, ccyymmdd, 8, true, 16); }), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 8), "20240229");
  // DATE_TO_DATE copies the units both have: a day to the month's last,
  // the target's year and time of day kept.
  auto to_date = [&](const Dt& target, const IbDateOp& op, const char* src) {
    put_std(fa, target);
    std::memcpy(fb, src, std::strlen(src));
    bool none = false;
    int rc = go([&] { bld_date_to_date(&m.code, kStd, op, &none); });
    return rc == 1 ? std_text(fa) : "E" + std::to_string(last_err());
  };
  const Dt may5{ch::year(2023) / 5 / 5, 10 * 360000};
  EXPECT_EQ(to_date(may5, IbDateOp{kDtText, 4, "0605"}, "0229"), "2023022810000000");
  EXPECT_EQ(to_date(may5, IbDateOp{kDtText, 8, "08070605"}, "20240229"), "2024022910000000");
  // A null target starts from a year's first day.
  put_std(fa, may5);
  std::memset(fa, 0xFF, 8);
  std::memcpy(fb, "202402", 6);
  bool none = false;
  ASSERT_EQ(go([&] { bld_date_to_date(&m.code, kStd, IbDateOp{kDtText, 6, "080706"}, &none); }), 1);
  EXPECT_EQ(std_text(fa), "2024020100000000");
  // A number of a day past a month's end is clamped (limit_parts).
  uint8_t feb30[5];
  PdCva c{feb30, 5, 0};
  pd_cva("20230230", 8, '.', &c);
  std::memcpy(fb, feb30, 5);
  ASSERT_EQ(go([&] { bld_cnv_date(&m.code, kOpNumToDate, ccyymmdd, 8, true, 5); }), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 8), "20230228");
}

// A descriptor of the host form shorter than its 8 bytes (a crafted saved
// module) is no date: 102540, nothing read or written past the field.
TEST_F(IiDate, ShortHostFormIsRefused) {
  const IbDateOp host{kDtHost, 8, "0807060504030201"};
  for (uint16_t len : {2, 7}) {
    std::memset(fa, 0x5A, 16);
    put_std(fb, from_day(1000));
    int rc = go([&] {
      uint8_t* p = bld_cnv_date(&m.code, kOpLogToDate, host);
      rec::view<IbDateCnv>(p).d.len = len;
    });
    EXPECT_NE(rc, 1) << len;
    EXPECT_EQ(last_err(), 102540u) << len;
    EXPECT_EQ(fa[len], 0x5A) << len;
  }
}

// Across the century of a date stored without it: the pivot's century,
// else the 1900s.
TEST_F(IiDate, PivotCentury) {
  const IbDateOp yymmdd{4, 6, "070605"};
  std::memcpy(fa, "991231", 6);
  rec::view<rec::U32>(fb) = 1;
  ASSERT_EQ(go([&] { bld_date_add(&m.code, yymmdd, 5, 4, true, 0, 1, kOpDateAddDd); }), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 6), "000101");
  // 28 February of '00: leap in 2000 (pivot 50), not in 1900.
  cv_date_set_pivot(50);
  std::memcpy(fa, "000228", 6);
  ASSERT_EQ(go([&] { bld_date_add(&m.code, yymmdd, 5, 4, true, 0, 1, kOpDateAddDd); }), 1) << last_err();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 6), "000229");
  cv_date_set_pivot(-1);
  std::memcpy(fa, "000228", 6);
  ASSERT_EQ(go([&] { bld_date_add(&m.code, yymmdd, 5, 4, true, 0, 1, kOpDateAddDd); }), 1) << last_err();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 6), "000301");
}

}  // namespace
