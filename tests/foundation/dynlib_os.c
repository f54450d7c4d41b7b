/* A small library that the engine loads by name in the tests of ss_dyn_load
   and os_call. */
#include <string.h>

int qv_answer(void) { return 42; }

int qv_negative(void) { return -7; }

int qv_length(const char* text) { return (int)strlen(text); }

/* Weights each argument by its position, so that a word passed in the wrong
   place or dropped changes the result. */
long qv_weigh16(long a1, long a2, long a3, long a4, long a5, long a6, long a7, long a8, long a9,
                long a10, long a11, long a12, long a13, long a14, long a15, long a16) {
  return a1 * 1 + a2 * 2 + a3 * 3 + a4 * 4 + a5 * 5 + a6 * 6 + a7 * 7 + a8 * 8 + a9 * 9 + a10 * 10 +
         a11 * 11 + a12 * 12 + a13 * 13 + a14 * 14 + a15 * 15 + a16 * 16;
}

long qv_weigh3(long a1, long a2, long a3) { return a1 * 1 + a2 * 2 + a3 * 3; }
