// Values as people write them in the sources, turned into the stored bytes
// of a field that a file definition describes (the engine's order:
// little-endian numbers, configured sign nibbles). Fields of the engine's
// declarations go through the shared field encoders (files/dictenc.h); these
// are the dictionary's further data types, signs and decimals.
//
// By data type:
//   1 2 13   text, at most the field's length; blank padded
//   5        whole number, optionally signed and with a decimal point when
//            the field has decimals ("1.5" with 2 decimals stores 150);
//            within the signed or unsigned range of the field's width
//   8 12     decimal number ("-12.50"), into packed decimal of the length
//            (12: 8 bytes and a scale byte)
//   11       logic: Y, N, yes, no, 1, 0, or empty (blank)
//   3 4 6 7 9 10 15
//            ISO date "YYYY-MM-DD", optionally " HH:MM[:SS[.hh]]", stored by
//            the engine's date conversion (cv_ston_date) in the field's form
//            over its unit range: the range of its mask when it has one
//            (the mask may then stand for the length), else by the length
//            from the century down (binary 4: the date, 8: date and time;
//            text: two digits a unit; packed: length - 1 units)
// An empty value of a number or a date is refused (a field left out takes
// its INITIAL value instead).
#pragma once

#include <cstdint>
#include <string>

namespace qg {

struct FieldForm {
  int type = 1;
  // (dates: the unit range and the day-of-year form, from the mask or the
  // length; date_range fills them)
  int off = 0;
  int len = 0;           // one occurrence
  int occurs = 1;
  bool is_signed = false;
  int decimals = 0;
  bool declared = false;  // a field of an engine declaration (dictenc.h encodes it)
  int high = 8, low = 1, julian = 0;
};

bool is_date_type(int type);
// Sets the unit range of a date field from its mask (edit-mask language of
// foundation/cvdat.h) or its length; with a mask and no length, the length
// too. "" or the reason.
std::string date_range(FieldForm* s, const std::string& mask);

// "" when type and length go together, else the reason.
std::string form_check(const FieldForm& s);
// Integer digits of a number (ELEMENT byte 587); for dates the highest unit.
int form_digits(const FieldForm& s);
// Writes the value into out (len bytes); false with the reason.
bool encode_value(const FieldForm& s, const std::string& text, uint8_t* out, std::string* why);
// The field's INITIAL and NULL bytes when the sources give no value.
void default_images(const FieldForm& s, uint8_t* init, uint8_t* null);

// The one stamp of everything generated: host time 2026-01-01 00:00.
void fixed_stamp(uint8_t out[8]);

}  // namespace qg
