// Logic values: one character, '1' true, '0' false, blank unset. The display
// shows the common block's localized true and false characters.
#include "foundation/bi.h"
#include "foundation/cv.h"

namespace {
char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }
}  // namespace

// Stored logic character to its display character.
char cv_log_itoe(char stored) {
  if (stored == '1') return char(com.log_true);
  if (stored == '0') return char(com.log_false);
  return ' ';
}

// Display text to the stored character: blank stays blank; '1', 'Y' and the
// localized true character give '1'; '0', 'N' and the localized false
// character give '0' (letters in either case). Anything else: 0 and 200080.
int cv_log_etoi(const char* text, int len, char* stored, uint32_t* msg) {
  int i = 0;
  while (i < len && text[i] == ' ') ++i;
  int j = len;
  while (j > i && text[j - 1] == ' ') --j;
  char out;
  if (i == j) {
    out = ' ';
  } else if (j - i > 1) {
    if (msg) *msg = 200080;
    return 0;
  } else {
    char c = upper(text[i]);
    if (c == '1' || c == 'Y' || c == upper(char(com.log_true))) out = '1';
    else if (c == '0' || c == 'N' || c == upper(char(com.log_false))) out = '0';
    else {
      if (msg) *msg = 200080;
      return 0;
    }
  }
  *stored = out;
  return 1;
}
