/* The library that CALL statements of the tests call by name: each
   function notes what it received, so a test sees every word as it
   arrived, and some change what they are given by reference. */
#include <string.h>

long qc_words[16];
unsigned char qc_bytes[16][32]; /* the first 32 bytes at each word qc_ptrs marks */
unsigned qc_ptrs;                /* bit i: word i + 1 is an address */
int qc_count;
int qc_result = 1;

/* Notes sixteen words (a caller passing fewer leaves the rest undefined)
   and answers qc_result. */
int qc_note(long a1, long a2, long a3, long a4, long a5, long a6, long a7, long a8, long a9, long a10,
            long a11, long a12, long a13, long a14, long a15, long a16) {
  long w[16] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16};
  memcpy(qc_words, w, sizeof w);
  for (int i = 0; i < 16; ++i)
    if (qc_ptrs & (1u << i)) memcpy(qc_bytes[i], (const void*)w[i], 32);
  ++qc_count;
  return qc_result;
}

/* Its argument as the result (0 makes the statement false). */
int qc_ret(long v) { return (int)v; }

/* 1 when the argument arrived as -5 in a long. */
int qc_minus5(long v) { return v == -5L; }

/* Writes "CHANGED" over the first 7 bytes of a field passed by reference. */
int qc_poke(char* p) {
  memcpy(p, "CHANGED", 7);
  return 1;
}

/* Adds 1 to a 4-byte binary passed by reference. */
int qc_bump(int* p) { return ++*p; }

/* Sets NEXT APPLICATION and NEXT PROCESS NAME, passed by reference. */
int qc_next(char* app, char* name) {
  memcpy(app, "ABC", 3);
  memset(name, ' ', 30);
  memcpy(name, "KID", 3);
  return 1;
}

/* Writes through a null pointer: a memory fault in the callee. */
int qc_crash(void) {
  volatile int* p = 0;
  *p = 1;
  return 1;
}
