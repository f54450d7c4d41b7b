// Raw record files: see raw.h.
#include "raw.h"

#include <algorithm>

#include "files/unixio.h"

namespace qg {

namespace {

void put16(std::string* s, size_t at, uint16_t v) {
  (*s)[at] = char(v >> 8);
  (*s)[at + 1] = char(v);
}
void put32(std::string* s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*s)[at + size_t(i)] = char(v >> (24 - 8 * i));
}

void sign_nibble(uint8_t* b, uint8_t neg) {
  uint8_t sign = *b & 0x0F;
  *b = uint8_t((*b & 0xF0) | (sign == neg ? 0x0D : 0x0C));
}

}  // namespace

void raw_to_big_endian(std::vector<uint8_t>* rec, const std::vector<RawField>& layout, uint8_t,
                       uint8_t neg_sign) {
  uint8_t* r = rec->data();
  for (const RawField& f : layout) {
    for (int o = 0; o < f.occurs; ++o) {
      size_t at = size_t(f.offset) + size_t(o) * size_t(f.len);
      if (at + size_t(f.len) > rec->size()) break;
      uint8_t* p = r + at;
      switch (f.type) {
        case 5:
          if (f.len == 2 || f.len == 4) std::reverse(p, p + f.len);
          break;
        case 6:
        case 7:
          if (f.len == 4 || f.len == 8) {
            std::reverse(p, p + 4);
            if (f.len == 8) std::reverse(p + 4, p + 8);
          }
          break;
        case 8:
        case 9:
        case 10:
          sign_nibble(p + f.len - 1, neg_sign);
          break;
        case 12:
          if (f.len >= 2) sign_nibble(p + f.len - 2, neg_sign);
          break;
        default:
          break;
      }
    }
  }
}

std::string raw_file(const std::vector<std::vector<uint8_t>>& records, bool short_lengths, bool crc) {
  std::string out(kRawHeader, '\0');
  put16(&out, 0, uint16_t((short_lengths ? kRawFlagShort : 0) | (crc ? kRawFlagCrc : 0)));
  put16(&out, 2, short_lengths ? 1 : 0);
  uint32_t n = 0;
  for (const std::vector<uint8_t>& r : records) {
    size_t at = out.size();
    out.append(kRawRecHeader, '\0');
    if (short_lengths) put16(&out, at + 2, uint16_t(r.size()));
    else put32(&out, at + 4, uint32_t(r.size()));
    put32(&out, at + 8, ++n);
    out.append(reinterpret_cast<const char*>(r.data()), r.size());
    size_t t = out.size();
    out.append(4, '\0');
    if (crc) put32(&out, t, uio_crc32c(r.data(), r.size()));
  }
  out.append(kRawRecHeader, '\0');  // the end: a record of length 0
  return out;
}

std::string raw_single(const std::vector<uint8_t>& record) {
  return std::string(reinterpret_cast<const char*>(record.data()), record.size());
}

}  // namespace qg
