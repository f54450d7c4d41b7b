// The input executor: an Input process keeps the records of its own file
// (PCF) through its frames. This far it holds the arithmetic of the next
// sequence number that Add mode gives a new record.
#pragma once

#include <cstdint>

// The sequence-number field's next value: `value` (the field's stored
// bytes) plus `increment` units of its last digit. Data type 5 is a
// little-endian binary of `size` 1, 2 or 4 bytes (`is_signed`: its top bit
// is the sign); 8 a packed decimal of `size` bytes; 12 a variable packed
// value (8 bytes of packed decimal, then its scale byte, left as it is).
// 1 with the field changed; 0 with the field unchanged when the sum
// overflows the field or needs more than `digits` significant digits
// (integer and decimal digits; 0: the field's own room), or the stored
// value is not a number of its type. Any other data type is a system error
// ("unexpected sequence number data type") and gives 0.
int ip_sno_add(uint8_t* value, int type, int size, bool is_signed, int digits, uint32_t increment);
