// Test helper of the record interface: a call refused with a status.
#pragma once

#include <gtest/gtest.h>

#include "files/fm.h"

// A call that failed (returned 0) and left the status st in the handle h or
// the descriptor f; the status is read after the call.
inline ::testing::AssertionResult fm_refused(int rc, uint32_t got, uint32_t st) {
  if (rc == 0 && got == st) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "returned " << rc << " with status " << got << ", not 0 with " << st;
}
inline ::testing::AssertionResult fails_with(int rc, const FmArb* h, uint32_t st) {
  return fm_refused(rc, h->status, st);
}
inline ::testing::AssertionResult fails_with(int rc, const FmFdb& f, uint32_t st) {
  return fm_refused(rc, f.status, st);
}
// The same for a call that gives an address: null when it failed.
inline ::testing::AssertionResult fails_with(const void* p, const FmArb* h, uint32_t st) {
  return fm_refused(p != nullptr, h->status, st);
}
