// Raw record files: the exported form of one file's records that the
// bootstrap copies into a native file.
//
//   file header   512 bytes; u16 at 0 (big-endian) flags, u16 at 2 the
//                 short-length mark; the rest zero.
//                   flag 2  record lengths are the u16 at 2 of each record
//                           header (when the mark at 2 is not 0); otherwise
//                           the u32 at 4
//                   flag 4  every trailer is the CRC-32C (uio_crc32c) of the
//                           record's bytes, big-endian; without it the
//                           trailer is not read for anything
//   record        12-byte header: byte 0 state (0 a live record), u16 at 2 or
//                 u32 at 4 the length (as the flags say), u32 at 8 the
//                 record's ordinal from 1; then the record's bytes; then the
//                 4-byte trailer.
//   end           a record header of length 0 (nothing after it).
// A file of organisation 1 (a single record) has no header: it is the one
// record image of the record length.
//
// Numbers inside records are big-endian: binary fields of 2 and 4 bytes and
// binary dates (each 4-byte word) reversed from the engine's little-endian;
// packed fields carry the sign nibbles C (positive) and D (negative).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qg {

constexpr uint16_t kRawFlagShort = 2;
constexpr uint16_t kRawFlagCrc = 4;
constexpr size_t kRawHeader = 512;
constexpr size_t kRawRecHeader = 12;

// One field of the byte-order conversion: data type, offset, length of one
// occurrence, occurrences.
struct RawField {
  int type;
  int offset;
  int len;
  int occurs;
};

// The engine's record (little-endian, configured sign nibbles) in raw form.
void raw_to_big_endian(std::vector<uint8_t>* rec, const std::vector<RawField>& layout, uint8_t pos_sign,
                       uint8_t neg_sign);

// A whole raw file of records already in raw form.
std::string raw_file(const std::vector<std::vector<uint8_t>>& records, bool short_lengths, bool crc);
// The raw file of a single-record file: the image itself.
std::string raw_single(const std::vector<uint8_t>& record);

}  // namespace qg
