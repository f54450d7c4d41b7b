// The packed-decimal codec is inline (pacdec.h) so that the arithmetic in
// pd.cpp compiles into straight-line code; this unit checks the header alone.
#include "foundation/pacdec.h"

namespace pacdec {
static_assert(kPow10.v[15] == 1000000000000000ULL);
static_assert(kPow10.v[38] / kPow10.v[19] == kPow10.v[19]);
}  // namespace pacdec
