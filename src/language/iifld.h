// Compiled compares (iifld.cpp: an IF, AND or OR run as one step from its
// IRA_1 to its test and the TFC after it) as far as other steps share them:
// their plans, and the run that a statement plan which has just stored a
// field makes, in its own run and with the value in hand, of a compare of
// that field against a constant (ii_go_stored).
#pragma once

#include <cstdint>
#include <cstring>

#include "foundation/pacdec.h"
#include "language/iiutil.h"

namespace ii_cmp {

// Two values of up to 8 bytes (their words as loaded) into the last halves
// of the two work values, which registers 1 and 2 then address (length 16).
inline void put_work(IlfState* s, uint64_t x, uint64_t y) {
  uint64_t z = 0, xs = __builtin_bswap64(x), ys = __builtin_bswap64(y);
  std::memcpy(s->work[0], &z, 8);
  std::memcpy(s->work[0] + 8, &xs, 8);
  std::memcpy(s->work[1], &z, 8);
  std::memcpy(s->work[1] + 8, &ys, 8);
  s->addr[0] = s->work[0];
  s->addr[1] = s->work[1];
  s->len[0] = s->len[1] = 16;
}

// IiPlanHead::kind of a compare of an 8-byte variable packed field against
// an 8-byte packed constant decoded when it was built (iifld.cpp runner_k),
// with no CHK_TF before its test: without (kStored) and with (kStoredTfc) a
// relocated TFC after it.
constexpr uint8_t kStored = 1, kStoredTfc = 2;

struct Plan : IiPlanHead {  // (at: IRA_1's arena offset)
  uint32_t word = 0;     // its area word
  uint32_t second = 0;   // the constant's own offset (CNST_2), or the area word of IRA_2
  uint32_t chk = 0;      // CHK_TF (0 none)
  uint32_t test = 0;     // IF_PD or IF_DAT
  uint32_t next = 0;     // the instruction after the test
  uint32_t keep = 0;     // the mask's bits the test keeps
  uint32_t set[3] = {};  //   and those it sets, for a comparison of -1, 0, 1
  uint32_t cond = 0;     // a relocated TFC after the test: its condition
  uint32_t to = 0;       //   and target
  mutable IiLink link[2] = {};  // to the plans past the TFC (false, or after the test) and at its target
  bool tfc = false;
  bool cnst = false;     // the second operand a constant
  bool date_key = false;  // kDat: a constant CCYYMMDD date (k.raw its bytes, k.w[0] its key)
  uint8_t l1 = 0, l2 = 0;    // the values' lengths (1-8; a variable's scale byte follows)
  uint8_t sc1 = 0, sc2 = 0;  // fixed scales
  uint8_t insts = 0;     // the instructions from IRA_1 to the test
  // kStr: IF_STR_EQ over len bytes, and an IF_STR_REST after it (rest) that
  // looks at the longer text's diff bytes past shorter (longer 1 or 2); the
  // mask's bits IF_STR_EQ keeps and sets then (the test's are IF_STR_REST's).
  uint16_t len = 0, shorter = 0, diff = 0;
  bool rest = false;
  uint8_t longer = 0;
  uint32_t keep_eq = 0, set_eq[3] = {};
  // A constant second operand of 8 bytes as it was when the plan was built
  // (its bytes, scale byte and the sign nibbles then; a fixed one of 1-8
  // bytes against a fixed first operand: raw its word): its word and value
  // at its own scale (0) and shifted up to the first operand's scale then
  // (1); its value as a number (v, against the value cache's) and as its
  // digit nibbles (n, against a fixed first operand's).
  struct Konst {
    uint64_t raw = 0, pair = 0;
    uint64_t w[2] = {};
    int64_t v[2] = {}, n[2] = {};
    int sc[2] = {-1, -1};
  } k;
};
inline uint64_t g_runs = 0;         // ii_cmp_plan_runs
inline uint64_t g_stored_runs = 0;  //   and those of them run by the step before (tests)

// After the test: the mask, the instructions it stood for, then a TFC
// that follows as ii_after_test runs it.
template <bool Tfc>
[[gnu::always_inline]] inline uint8_t* tested(IlfExecBlock* b, IlfState* s, const Plan& pl, int c) {
  uint32_t mask = (s->mask & pl.keep) | pl.set[c + 1];
  s->mask = mask;
  ++g_runs;
  if (!Tfc) {
    s->count += pl.insts - 1u;
    uint8_t* next = ii_arena + pl.next;
    if (ii_op(next) == 81) [[unlikely]]  // a TFC relocated since
      return ii_after_test(b, s, next);
    return ii_go(b, s, next, pl.link[0]);
  }
  s->count += pl.insts;  // and the TFC
  s->pc = ii_arena + pl.next;
  bool to = (mask | pl.cond) != pl.cond;
  return ii_go(b, s, to ? ii_arena + pl.to : ii_adv(ii_arena + pl.next, 12), pl.link[to]);
}

// Whether the compare pl (kind kStored or kStoredTfc) runs with the value
// of its field known to be at scale sc: its field t, and the constant's
// bytes and the sign nibbles those it was decoded by. The index of the
// constant's form at that scale (Plan::Konst), or -1 when it does not (a
// scale neither of the constant's).
[[gnu::always_inline]] inline int stored_at(const Plan& pl, const uint8_t* t, int sc, uint64_t pair) {
  const uint8_t* y = ii_arena + pl.second;
  uint64_t ry;
  std::memcpy(&ry, y, 8);
  if (ii_ref(ii_arena + pl.word) != t || ry != pl.k.raw || y[8] != pl.k.sc[0] || pair != pl.k.pair) return -1;
  return sc == pl.k.sc[0] ? 0 : sc == pl.k.sc[1] ? 1 : -1;
}
// The compare pl of a variable field t holding v against its constant's
// form i (runner_k's, or stored_at's): the work values, mask and way on.
template <bool Tfc>
[[gnu::always_inline]] inline uint8_t* run_stored(IlfExecBlock* b, IlfState* s, const Plan& pl, const uint8_t* t,
                                                  int64_t v, int i) {
  put_work(s, pacdec::load_be(t, 8), pl.k.w[i]);
  return tested<Tfc>(b, s, pl, (v > pl.k.v[i]) - (v < pl.k.v[i]));
}

}  // namespace ii_cmp

// ii_go from a step that has just stored v at scale sc (0-31, its valid
// bytes of 15 digits at most under the sign pair) in the 8-byte variable
// packed field t: a compiled compare of t against a constant next runs here
// with v, else what the link goes to runs as ii_go runs it.
[[gnu::always_inline]] inline uint8_t* ii_go_stored(IlfExecBlock* b, IlfState* s, uint8_t* pc, IiLink& l,
                                                    const uint8_t* t, int64_t v, int sc, uint64_t pair) {
  return ii_go_then(b, s, pc, l, [=](const IiPlanHead& h) __attribute__((always_inline)) {
    if (h.kind) {
      const auto& pl = static_cast<const ii_cmp::Plan&>(h);
      int i = ii_cmp::stored_at(pl, t, sc, pair);
      if (i >= 0) {
        ++ii_cmp::g_stored_runs;
        return h.kind == ii_cmp::kStored ? ii_cmp::run_stored<false>(b, s, pl, t, v, i)
                                         : ii_cmp::run_stored<true>(b, s, pl, t, v, i);
      }
    }
    return h.run(b, s, pc, h);
  });
}
