// The next sequence number of an Input process's Add mode.
#include <cstring>

#include "executors/ip.h"
#include "foundation/os.h"
#include "foundation/pacdec.h"

namespace {
constexpr const char* kMod = "IP";

using u128 = pacdec::u128;

// 10^digits, or the field's own room when digits is 0 or larger than it.
u128 digit_room(int digits, u128 room) {
  if (digits <= 0 || digits > 38) return room;
  u128 p = 1;
  for (int i = 0; i < digits; ++i) p *= 10;
  return p < room ? p : room;
}
}  // namespace

int ip_sno_add(uint8_t* value, int type, int size, bool is_signed, int digits, uint32_t increment) {
  if (!value) return 0;
  switch (type) {
    case 5: {
      if (size != 1 && size != 2 && size != 4) break;
      uint64_t v = 0;
      for (int i = size - 1; i >= 0; --i) v = (v << 8) | value[i];
      int bits = 8 * size;
      uint64_t top = uint64_t(1) << (bits - 1);
      // A negative stored number counts from its own value.
      bool neg = is_signed && (v & top);
      if (neg) return 0;
      u128 room = is_signed ? u128(top) : u128(top) * 2;  // largest value + 1
      u128 sum = u128(v) + increment;
      if (sum >= digit_room(digits, room)) return 0;
      for (int i = 0; i < size; ++i) value[i] = uint8_t(uint64_t(sum) >> (8 * i));
      return 1;
    }
    case 8:
    case 12: {
      int len = type == 12 ? 8 : size;
      if (!pacdec::len_ok(len)) break;
      u128 mag;
      bool neg;
      if (!pacdec::decode(value, len, mag, neg)) return 0;
      // A negative number moves towards zero by the increment.
      u128 sum;
      if (neg) {
        if (mag > increment) {
          pacdec::encode(value, len, mag - increment, true);
          return 1;
        }
        sum = u128(increment) - mag;
      } else {
        sum = mag + increment;
      }
      if (sum >= digit_room(digits, pacdec::limit(len))) return 0;
      pacdec::encode(value, len, sum, false);
      return 1;
    }
    default:
      os_sys_err_text(kMod, __LINE__, "unexpected sequence number data type");
      return 0;
  }
  os_sys_err_text(kMod, __LINE__, "find_nxt_sno() - unexpected case switch");
  return 0;
}
