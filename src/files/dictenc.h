// Field encoders: a value as people write it, turned into the stored form
// of one field of a record by the record's field list (files/dictrec.h).
// The generator of the system applications' data, the test fixtures and the
// round-trip checks share them, so a record built from readable source and
// one built by a fixture are the same bytes.
//
// Value forms by data type:
//   1  text: the characters as written, blank padded; longer than the field
//      is refused
//   5  binary: a decimal integer, optionally negative, that fits the width
//      either as signed or as unsigned ("-1" is all bits set)
//   7  binary date: an ISO date "YYYY-MM-DD", optionally followed by
//      "THH:MM:SS" or " HH:MM:SS" and ".hh" hundredths; a 4-byte field keeps
//      the day number, an 8-byte one the day number and the hundredths of
//      the day (day 1 = 0001-01-01). "NULL" is all bits set.
//   8  packed: a decimal integer, optionally negative
//   0  opaque: hexadecimal digits, two a byte, zero filled
// An empty value stores the field's INITIAL image.
// A field of several occurrences is named "name[i]" (i from 1) for one
// occurrence; the plain name sets occurrence 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "files/dictrec.h"

// Encodes text into occurrence occ (from 0) of field f of rec; false with
// err when the value does not fit its type.
bool dict_encode(const DictField& f, int occ, std::string_view text, uint8_t* rec, std::string* err);
// By name ("name" or "name[i]"); false with err for an unknown field too.
bool dict_encode_named(const DictRecDesc& r, std::string_view name, std::string_view text, uint8_t* rec,
                       std::string* err);
// The value's text (what dict_encode takes back to the same bytes; text
// fields trimmed, dates in ISO form).
std::string dict_decode(const DictField& f, int occ, const uint8_t* rec);
// Fills a record image: kind 1 INITIAL, 2 NULL (size: the record length;
// bytes beyond the list stay blank).
void dict_image(const DictField* f, int n, int kind, uint8_t* out, size_t size);
void dict_image(const DictRecDesc& r, int kind, uint8_t* out);

// Day numbers of the binary dates (day 1 = 0001-01-01), from and to the
// civil date; false for a date that does not exist.
bool dict_days_from_civil(int y, int m, int d, int32_t* day);

// The definition stamp a process is given when its source names none: day
// 2026-01-01 and a time of day taken from the process's type and name, so
// the processes of one application have stamps of their own (a saved module
// file is named by its process's stamp) and the same sources give the same
// stamps. In the binary date's text form ("2026-01-01THH:MM:SS.hh"); never
// all bits set. `bump` moves the time on by that many hundredths (the
// generator's way past a stamp another process already has).
std::string dict_proc_stamp(int type, std::string_view name, uint32_t bump = 0);
