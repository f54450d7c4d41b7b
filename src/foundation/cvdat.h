// Dates: the internal standard date, date descriptors, date edit masks and
// the conversions between every stored form of a date and the internal one.
//
// Internal standard date. Eight unit bytes, each a binary value 0-99, from
// the century down to hundredths of a second:
//
//   byte   0        1     2      3    4     5       6       7
//   unit   8        7     6      5    4     3       2       1
//          century  year  month  day  hour  minute  second  hundredths
//
// Units are numbered 8 (century) down to 1 (hundredths) everywhere: in masks
// ("08" .. "01"), in a descriptor's highest and lowest unit, in the unit
// digits of the date statements and in portable columns. The numbering 7..0
// that some callers were written with is the same scale shifted by one;
// GREG_BIN_TO_STD gives highest 8 and lowest 1 like every other descriptor.
//
// Special internal dates:
//   - the high date: all eight bytes 0xFF. It is the null date: a stored null
//     value (binary all bits set, packed -1, text all blanks) reads as the
//     high date and the high date stores as the null value of the form;
//   - an invalid date: a century byte of 0x80 or more that is not the high
//     date. cv_ntos_date leaves it behind when a stored value is not a date;
//   - the zero date: all eight bytes 0 (day number 0, logic '0').
// A date is "high or invalid" when its century byte is 0x80 or more.
//
// Day numbers. Day 1 is 0001-01-01 of the proleptic Gregorian calendar, the
// epoch of os_quvo_time (HostTime of foundation/os.h is the 8-byte
// binary date: day number and hundredths of the day); 9999-12-31 is day 3,652,059; day 0 stands for the
// zero date and no valid date has a day number below 1, so every date of
// 0001-9999 is positive. The weekday is day mod 7 + 1 (1 Sunday .. 7
// Saturday, the order of the common block's day names). The form
// (d + 4) mod 7 + 1 gives the same weekday when d counts days from
// 1970-01-01 (a Thursday); with this epoch the two agree because
// 719,163 (the day number of 1970-01-01) is 4 mod 7.
//
// Storage types (the descriptor's `type`):
//   3, 4   text: the digits of the units from the highest down to the lowest,
//          two a unit; all blanks is the null date. 3 is the day-of-year
//          (Julian) form: the month takes no digits and the day three
//          (day of the year, 001-366).
//   6, 7   binary, little-endian u32 words. Length 4: the day number when the
//          range holds a date unit (highest unit 5 or more), else the
//          hundredths of the day. Length 8: day number, then hundredths of
//          the day. All bits set is the null date. 6 is the Julian form (the
//          same bytes; the mask shows the day of the year).
//   8      host time: 8 bytes, day number and hundredths (the form of
//          os_quvo_time); always all units.
//   9, 10  packed decimal: the digits of the text form, right-aligned before
//          the sign nibble; -1 is the null date. 9 is the Julian form.
//   15     internal standard date: the eight unit bytes themselves.
//   16     universal date text (not a field data type; UNIVERSAL_DATE):
//          see below.
// Stored lengths (cv_date_stored_len): 3/4 the digit count; 6/7 8 when the
// range holds a time unit and a date unit, else 4; 8 and 15 8; 9/10 digit
// count / 2 + 1 bytes for 10 (high - low + 2); 10 - low for 9, the length of
// a day-of-year range from the century (one leading zero byte), never fewer
// than its digits need.
//
// Binary forms always hold a full date, so a binary date whose mask lacks
// the century (highest unit 7) still knows it: reading gives the stored
// century, and storing keeps the internal date's century, or takes the
// century pivot's (else 19) when the internal century is 0 (so the years
// 0001-0099 do not keep their century in such a field). Entry of a text
// under such a mask (cv_date_text_to_std) takes the century of the field's
// stored date, so a date shown and entered again, or with only its day
// changed, stays in its century; the pivot (else 19) only applies to a field
// that holds no date yet. A binary date
// without a year (highest unit 6 or 5) is kept in the leap reference year
// 0004, so that 29 February can be stored; reading gives year and century 0.
//
// Universal date text (storage type 16). Sixteen characters, two a unit from
// the century down to the hundredths ("0807060504030201", CCYYMMDDHHMMSSTT).
// Written: units outside the descriptor's range as "--", the high date as
// blanks, then blanks to the given length (the 32-character text of the date
// statements is these 16 characters and 16 blanks). Read: trailing blanks are
// ignored; an all-blank text is the high date; each pair is two digits or
// "--" (unit not given: its base value); a text shorter than 16 characters
// gives the units it covers and the rest are not given.
//
// Base values of units outside a range: century, year and time 0; month and
// day 1 (clear_parts of the date statements).
//
// Century pivot. A date whose highest unit is the year (7) carries no
// century in text and packed forms. The pivot gives it one: a two-digit year
// below the pivot P is in century 20, one at or above P in century 19 (the
// window 19P..20(P-1)). P comes from the environment variable
// QUVO_CENTURY_PIVOT (two digits, 00-99), read into the common block at
// start-up (cv_date_init); unset means no pivot, and callers that must have
// a century then use 19. Binary, host and internal forms store the century,
// so the pivot takes theirs.
//
// Date edit masks. Unit codes of two characters: '0' followed by the unit
// digit N, or N twice ("05" and "55" are both the day), N from 8 down to 1;
// "005" is the day of the year in three digits (Julian: selects types 3, 6,
// 9 in place of 4, 7, 10; the day of the year carries the month, so such a
// range always holds the month). A backslash takes the next character literally;
// text in double quotes is literal; any other non-digit character is a
// literal. Any other digit sequence ("09", "12", a lone digit) is a bad mask
// token: the system error "cv_cmpl_date_msk() - bad mask token". A compiled
// mask is a string of tokens no longer than the mask text (it is compiled in
// place): bytes 1-8 a unit of two digits, kMskJulDay the day of the year,
// bytes 32 and above literal characters.
//
// Display (cv_date_std_to_text): each unit with leading zeros; a unit outside
// the descriptor's range as dashes; the high date as blanks. Entry
// (cv_date_text_to_std): leading and trailing blanks are ignored and an
// all-blank text is the high date; a unit takes up to its width of digits
// (fewer when a non-digit follows) or a run of dashes (not given); a literal
// of the mask matches itself or any one character that is not a digit, or
// nothing when another digit stands there (so "05012024" and "5/1/2024" both enter under
// "06/05/0807"); every unit of the mask must be given; text left over is
// refused. Years without a century are checked (29 February) in the pivot's
// century, else in the 1900s. A refused text answers 0 and kMsgBadDate.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/mm.h"
#include "foundation/record.h"

// ---------------------------------------------------------------- units --
constexpr int kUnitCentury = 8, kUnitYear = 7, kUnitMonth = 6, kUnitDay = 5;
constexpr int kUnitHour = 4, kUnitMinute = 3, kUnitSecond = 2, kUnitHundredths = 1;
// Byte of the internal date that holds a unit.
constexpr int unit_index(int unit) { return 8 - unit; }

constexpr uint8_t kDateHighByte = 0xFF;
constexpr uint8_t kDateInvalidByte = 0x80;

// Storage types.
constexpr uint8_t kDtTextJul = 3, kDtText = 4, kDtBinJul = 6, kDtBin = 7, kDtHost = 8;
constexpr uint8_t kDtPackedJul = 9, kDtPacked = 10, kDtStd = 15, kDtUniversal = 16;

// Compiled mask token of the day of the year; unit tokens are 1-8.
constexpr uint8_t kMskJulDay = 9;

// Message of a date that does not convert (statements, entry, literals).
constexpr uint32_t kMsgBadDate = 102540;
// Message of a value whose display does not fit its field.
constexpr uint32_t kMsgNoFit = 200050;

constexpr int32_t kDayMax = 3652059;  // day number of 9999-12-31
constexpr uint32_t kDayHundredths = 8640000;

// The mask of all eight units, two digits each.
inline constexpr char kDateMaskAll[] = "0807060504030201";

// ---------------------------------------------------------- descriptors --
// The date descriptor as compiled instructions embed it (32 bytes). The two
// address slots are arena references: the value (filled at run time) and
// the compiled mask tokens (in the instruction).
struct DateDescRec {
  rec::U16 len;           // stored length
  rec::Bytes<2> spare0;
  Ref<uint8_t> value;     // stored value
  rec::U16 mask_len;      // compiled mask length
  rec::Bytes<2> spare1;
  Ref<uint8_t> mask;      // compiled mask tokens
  rec::Bytes<8> date;     // internal standard date
  rec::U8 high;           // highest unit
  rec::U8 low;            // lowest unit
  rec::U8 type;           // storage type
  rec::U8 julian;         // 1 for the day-of-year forms
  rec::Bytes<4> reserved; // zero
};
QV_RECORD(DateDescRec, 32);
QV_AT(DateDescRec, value, 4);
QV_AT(DateDescRec, mask_len, 8);
QV_AT(DateDescRec, mask, 12);
QV_AT(DateDescRec, date, 16);
QV_AT(DateDescRec, high, 24);
QV_AT(DateDescRec, low, 25);
QV_AT(DateDescRec, type, 26);
QV_AT(DateDescRec, julian, 27);

// The descriptor the conversions work on.
struct DateDesc {
  uint16_t len = 0;            // stored length
  uint8_t* value = nullptr;    // stored value
  uint16_t mask_len = 0;       // compiled mask length (mask text length before compiling)
  uint8_t* mask = nullptr;     // compiled mask tokens (mask text before compiling)
  uint8_t date[8] = {};        // internal standard date
  uint8_t high = 8, low = 1;   // unit range
  uint8_t type = kDtStd;       // storage type
  uint8_t julian = 0;
  uint32_t msg = 0;            // message of the last refused conversion
};

void cv_date_desc_load(const DateDescRec& r, DateDesc& d);
// Value and mask must be arena addresses (or null).
void cv_date_desc_save(const DateDesc& d, DateDescRec& r);

// A date stamp field of a process's own file, as the module header keeps it.
struct DateStampRec {
  rec::I32 offset;        // offset of the field in the record, -1 none
  rec::U8 type;           // storage type
  rec::U8 high;
  rec::U8 low;
  rec::U8 julian;
  rec::U16 len;           // stored length
  rec::U16 mask_len;      // compiled mask length
  rec::Bytes<60> mask;    // compiled mask tokens
};
QV_RECORD(DateStampRec, 72);
QV_AT(DateStampRec, mask, 12);

// The facts of a compiled date conversion item that INT_DATE reads.
struct DateItemView {
  uint8_t* stored = nullptr;   // the stored field
  uint8_t* display = nullptr;  // the display text
  uint16_t len = 0;            // stored length
  uint16_t display_len = 0;    // display length
  uint8_t* mask = nullptr;     // compiled mask tokens
  uint16_t mask_len = 0;
  uint8_t type = kDtStd;
  uint8_t high = 8, low = 1;
  uint8_t julian = 0;
};

// ---------------------------------------------------------- calendar --
inline bool cv_is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }
// Last day of a month of a full year (1-12; 0 for another month): a table
// look-up, the year looked at in February only.
inline int LAST_DAY(int year, int month) {
  static constexpr uint8_t kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month] + (month == 2 && cv_is_leap(year) ? 1 : 0);
}
// Day number of a full date (year 1-9999); 0 for a date that is not valid.
int32_t cv_days_from_civil(int year, int month, int day);
// The date of a day number 1 .. kDayMax; false outside.
bool cv_civil_from_days(int32_t day, int* year, int* month, int* mday);
// 1 Sunday .. 7 Saturday.
inline int cv_weekday(int32_t day) { return int(day % 7) + 1; }

// ----------------------------------------------------- internal dates --
void cv_date_set_high(uint8_t date[8]);
void cv_date_set_invalid(uint8_t date[8]);
bool cv_date_is_high(const uint8_t date[8]);
// High or invalid: century byte 0x80 or more.
inline bool cv_date_is_special(const uint8_t date[8]) { return date[0] >= 0x80; }
bool cv_date_is_zero(const uint8_t date[8]);
// Base value of a unit outside a range.
inline uint8_t cv_unit_base(int unit) { return (unit == kUnitMonth || unit == kUnitDay) ? 1 : 0; }
// True when the units of [low, high] form a date: the high date; all of the
// range's date units 0 with valid time units; or every unit within its
// bounds, the day within its month (years without a century in the pivot's
// century, else the 1900s; without a year in a leap year) and, with century
// and year, a year of 1-9999.
bool cv_date_check(const uint8_t date[8], int high, int low);
// Units outside [low, high] take their base values (not for a high or
// invalid date).
void cv_date_clear_parts(DateDesc* d);
// Units inside the range are clamped to their bounds (day to the month's
// last day), units outside take their base values.
void cv_date_limit_parts(DateDesc* d);

// ------------------------------------------------------------- pivot --
// Reads QUVO_CENTURY_PIVOT into the common block (part of start-up).
void cv_date_init();
// The configured pivot 0-99, -1 for none.
int cv_date_pivot_year();
void cv_date_set_pivot(int pivot);  // -1 for none
// The century of a two-digit year by the pivot; false without a pivot.
bool cv_pivot_century(int yy, int* century);
// The pivot's century, else 19.
int cv_default_century(int yy);
// When the descriptor's date has the year as its highest unit, gives it a
// century: the stored one for binary, host and internal forms, else the
// pivot's; raises the highest unit to 8 and answers true. False (nothing
// changed) for other ranges, a high or invalid date, or no pivot.
bool cv_date_pivot(const void* context, DateDesc* d, int flags);

// ------------------------------------------------------------ masks --
// Compiles the mask text at d->mask (d->mask_len characters, trailing
// blanks ignored) into tokens in place, and sets mask_len, the unit range,
// the Julian flag, the storage type (3/6/9 for a day-of-year mask, 4/7/10
// otherwise; 8, 15 and 16 stay) and the stored length. 1, or 0 after the
// system error for a bad mask token; 0 without one when the mask holds no
// unit.
int cv_cmpl_date_msk(DateDesc* d);
// Stored length of a storage type for a unit range.
int cv_date_stored_len(int type, int high, int low, int julian);
// Characters that the compiled mask displays.
int cv_date_msk_width(const uint8_t* mask, int mask_len);

// ------------------------------------------------------- conversions --
// Stored value (d->value, d->len, d->type, range) to the internal date in
// d->date; units outside the range take base values (binary forms keep the
// stored century when the year is in range). 1, or 0 with d->msg set and
// the date marked invalid.
int cv_ntos_date(DateDesc* d);
// The internal date d->date to the stored value; nothing is written when
// the date does not check. 1, or 0 with d->msg set.
int cv_ston_date(DateDesc* d);
// Day number of the descriptor's internal date; 0 when it is the zero date,
// high, invalid or not a calendar date with century, year, month and day.
int32_t cv_get_days(const DateDesc* d, int flags);

// Display text under the compiled mask (width bytes, blank filled) from
// d->date. 1; 0 with kMsgNoFit when the mask's output is wider than width
// (the text is cut), 0 with kMsgBadDate for an invalid date.
int cv_date_std_to_text(DateDesc* d, char* out, size_t width);
// Entry text under the compiled mask into d->date (see above). 1, or 0 with
// kMsgBadDate in *msg and d->msg.
int cv_date_text_to_std(DateDesc* d, const char* text, size_t len, uint32_t* msg);
// The date parts of cv_itoe and cv_etoi: stored value to display text, and
// display text to stored value (through d->date). 1, or 0 with the message.
int cv_date_itoe(DateDesc* d, char* out, size_t width, uint32_t* msg);
int cv_date_etoi(DateDesc* d, const char* text, size_t len, uint32_t* msg);

// Reads a universal date text into date (units not given take base values;
// no calendar check). 1, or 0 when a pair is neither two digits nor "--".
int cv_date_from_universal(const char* text, size_t len, uint8_t date[8]);
// Writes the universal date text of date, units outside [low, high] as "--",
// blank filled to len (the units that fit whole in len, at most 16
// characters).
void cv_date_to_universal(const uint8_t date[8], int high, int low, char* out, size_t len);

// ---------------------------------------------------- descriptor builders --
// A descriptor for a universal date text at address, all units.
DateDesc* UNIVERSAL_DATE(DateDesc* d, void* address, size_t length);
// A descriptor for a stamp field of the record, holding the internal date
// to be stored (cv_ston_date). Null when the stamp has no field.
DateDesc* STAMP_DATE(const uint8_t date[8], const DateStampRec& stamp, uint8_t* record, DateDesc* d);
// A descriptor from a compiled conversion item: the stored field when direct
// is non-zero, else the display text. foundation/cv.h has the form that
// takes a compiled conversion block.
DateDesc* INT_DATE(DateDesc* d, const DateItemView& item, int direct);
// The 8-byte binary date at address to the internal date of the descriptor
// (storage type 8, units 8..1); the result of cv_ntos_date.
int GREG_BIN_TO_STD(DateDesc* d, void* address);
// The descriptor's internal date (all units) to the 8-byte binary date.
int STD_TO_GREG_BIN(DateDesc* d, void* address);
// Sixteen digits (CCYYMMDDHHMMSSTT) of an 8-byte host time, blank filled to
// len; false when the value is not a date.
bool cv_host_time_text(char* out, size_t len, const void* host_time);

// ------------------------------------------------------------- names --
// Day name of weekday 1-7 (Sunday first), month name of month 1-12, from the
// common block's localized names: the 3-letter form when short_form, else
// the full one; copied in capitalised case and blank filled to width.
// Returns the copied length (0 and a blank target for a number outside).
size_t cv_day_name(int weekday, bool short_form, char* out, size_t width);
size_t cv_month_name(int month, bool short_form, char* out, size_t width);

// The date-time display mask for the user in an application and version
// (60 characters, blank padded): the mask of the registered source (the
// application record, else the system parameters) when it is not blank,
// else the text of message 760, else kDateMaskAll.
using DateMaskSource = bool (*)(const char* application, const char* version, char mask[60]);
void ut_set_date_msk_source(DateMaskSource source);
void ut_get_date_msk(const char* application, const char* version, char mask[60]);
