// What the statement families' handlers share: run-time errors, operands
// that address fields, the calculation-stack entry and the registration of
// every family's init with the interpreter.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "foundation/pacdec.h"
#include "foundation/pd.h"
#include "foundation/record.h"
#include "language/ibutil.h"
#include "language/ii.h"

constexpr uint32_t kIiErrRuntime = 300540;   // overflow, a value that does not fit
constexpr uint32_t kIiErrOcc = 102710;       // occurrence out of range
constexpr uint32_t kIiErrLoop = 100910;      // END LOOP of a loop not active
constexpr uint32_t kIiErrAnd = 300390;       // AND on an unset level
constexpr uint32_t kIiErrReturn = 300410;    // RETURN without GOSUB
constexpr uint32_t kIiErrGosub = 300420;     // a GOSUB past kIiGosubDepth
constexpr uint32_t kIiErrPrint = 300170;     // PRINT sizes, SET TEMP positions

// A run-time error of the current instruction: err_handler either moves the
// instruction pointer (an error trap, the debugger) or unwinds. A handler
// returns what this returns.
inline uint8_t* ii_fail(IlfExecBlock* b, IlfState* s, uint32_t msg) {
  err_handler(s, b, msg);
  return ii_again(s);
}

// The current address of the field whose relocated field-index operand is at
// p (the word of the area address array holds it).
inline uint8_t* ii_field(const uint8_t* p) { return ii_ref(ii_at(p)); }
// What a relocated CNST_n (cnst: a constant's address, or none) or IRA_n at
// p loads into its register, in *r; false for a field with no data area.
inline bool ii_load_reg(const uint8_t* p, bool cnst, uint8_t** r) {
  *r = cnst ? ii_ref(p + 4) : ii_field(p + 4);
  return cnst || *r;
}

// A field index whose data area the process has not built (the word holds
// no address): the system error "<who>() - no data area" ("IIUTIL.C"), and
// the event point ends. A handler returns what this returns.
uint8_t* ii_no_field(IlfExecBlock* b, IlfState* s, const char* who);

// One entry of the calculation stack (IlfState::calc, 32 bytes each; the
// state lives on ii_exec's frame and is never stored, so the operand's
// address is native: a store may target a scratch value of the state).
struct IiCalc {
  rec::Bytes<8> where;    // the operand it was loaded from (a store's target)
  rec::U8 type;           // 5 binary, 8 packed with its scale, 12 packed constant
  rec::U8 scale;          // decimals, 0-31
  rec::U8 uns;            // 1 unsigned binary
  rec::U8 size;           // bytes of the stored operand
  rec::U8 room;           // bytes a store may write at where (what the push read; 0 none)
  rec::Bytes<3> unused;
  rec::Bytes<16> value;   // 31-digit packed, or (type 5) a 32-bit integer in its first word
  uint8_t* addr() const {
    uint8_t* p;
    std::memcpy(&p, where.data(), sizeof p);
    return p;
  }
  void set_addr(uint8_t* p) { std::memcpy(where.data(), &p, sizeof p); }
};
QV_RECORD(IiCalc, 32);
QV_AT(IiCalc, value, 16);
constexpr uint8_t kIiBin = 5, kIiPdFix = 8, kIiPdVar = 12;
// The scale byte of a variable packed value (signed): a CALC result of more
// than 15 significant digits keeps its 15 highest and a scale below 0, the
// dropped integer digits zeros. Readers take -31..31.
constexpr int kIiMinScale = -31, kIiMaxScale = 31;

inline IiCalc& ii_calc(IlfState* s, uint32_t i) { return rec::view<IiCalc>(s->calc[i]); }

// Whether the loop may be tracing or debugging (it then looks at every
// instruction, its counter set to 1): a handler that stands for several
// instructions runs them one by one instead. Now and then true otherwise,
// which costs only the shortcut.
inline bool ii_slow(const IlfState* s) { return s->armed == 1; }

// The first and the last sizeof(W) bytes of n (sizeof(W) to 2 sizeof(W))
// from src to dst, both read before either is written.
template <class W>
[[gnu::always_inline]] inline void ii_move_ends(uint8_t* dst, const uint8_t* src, size_t n) {
  W a, b;
  std::memcpy(&a, src, sizeof a);
  std::memcpy(&b, src + n - sizeof b, sizeof b);
  std::memcpy(dst, &a, sizeof a);
  std::memcpy(dst + n - sizeof b, &b, sizeof b);
}
// n bytes from src to dst, which may overlap (every byte read before any is
// written): up to 32 in line, memmove beyond.
[[gnu::always_inline]] inline void ii_move(uint8_t* dst, const uint8_t* src, size_t n) {
  struct W16 {
    uint64_t lo, hi;
  };
  if (n > 32) {
    std::memmove(dst, src, n);
  } else if (n >= 16) {
    ii_move_ends<W16>(dst, src, n);
  } else if (n >= 8) {
    ii_move_ends<uint64_t>(dst, src, n);
  } else if (n >= 4) {
    ii_move_ends<uint32_t>(dst, src, n);
  } else if (n > 0) {
    uint8_t a = src[0], b = src[n / 2], c = src[n - 1];
    dst[0] = a;
    dst[n / 2] = b;
    dst[n - 1] = c;
  }
}
// n bytes of c at dst: up to 32 in line, memset beyond.
[[gnu::always_inline]] inline void ii_fill(uint8_t* dst, uint8_t c, size_t n) {
  const uint64_t w = 0x0101010101010101ULL * c;
  if (n > 32) {
    std::memset(dst, c, n);
  } else if (n >= 8) {
    std::memcpy(dst, &w, 8);
    if (n > 16) {
      std::memcpy(dst + 8, &w, 8);
      std::memcpy(dst + n - 16, &w, 8);
    }
    std::memcpy(dst + n - 8, &w, 8);
  } else if (n >= 4) {
    std::memcpy(dst, &w, 4);
    std::memcpy(dst + n - 4, &w, 4);
  } else if (n > 0) {
    dst[0] = dst[n / 2] = dst[n - 1] = c;
  }
}

// TFC (relocated) at pc: where it goes under the truth mask.
inline uint8_t* ii_tfc(const IlfState* s, uint8_t* pc) {
  uint32_t cond = rec::view<IbTfc>(pc).cond;
  return (s->mask | cond) != cond ? ii_at(pc + 4) : ii_adv(pc, 12);
}
// After a test that set the mask, from the end of its handler: a relocated
// TFC that follows (the T or F branch of an IF) runs from here, else the
// instruction at pc as ii_next runs it.
inline uint8_t* ii_after_test(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (ii_op(pc) != 81 || ii_slow(s)) return ii_next(b, s, pc);
  s->pc = pc;
  ++s->count;  // the instruction it stands for, for the loop's yield
  return ii_next(b, s, ii_tfc(s, pc));
}

// Family inits (ii_set_family_init); ii_families_register plugs them all in
// before ii_init runs them.
void ii_tst_init();
void ii_math_init();
void ii_cnv_init();
void ii_misc2_init();  // VERIFY, COPY markers, PRINT (TRAP and the chain are the loop's)
void ii_ctl_init();
void ii_util_init();
void ii_fld_init();
void ii_date_init();
void ii_fi_init();     // file statements
void ii_families_register();
// The arithmetic switches (read from QUVO_OLD_PD_MUL and QUVO_NO_NEG_INT by
// ii_math_init; tests set them).
void ii_math_set_switches(bool old_pd_mul, bool no_neg_int);
// CALC statements run as one step by their plans so far (tests).
uint64_t ii_math_plan_runs();
// IRA_1: address register 1 at its field, or the whole IF, AND or OR it
// starts as its compiled compare (iifld.cpp).
uint8_t* ii_ira_1(IlfExecBlock* b, IlfState* s, uint8_t* pc);
// COMPUTE_OPRND (iimath.cpp); CNST_2 and IRA_2 run it when it follows.
uint8_t* ii_compute_oprnd(IlfExecBlock* b, IlfState* s, uint8_t* pc);
// SET_ADDR_LEN (iictl.cpp), which runs an END LOOP after it; IRA_1 runs it
// when it follows.
uint8_t* ii_set_addr_len(IlfExecBlock* b, IlfState* s, uint8_t* pc);
// IRA_1 at pc of the field f with the SET_ADDR_LEN and END LOOP (relocated)
// after it, as one (iictl.cpp; IRA_1 runs it, not while the loop looks at
// every instruction).
uint8_t* ii_ira_end_loop(IlfExecBlock* b, IlfState* s, uint8_t* pc, uint8_t* f);
// IRA_1 at pc of the field f and its SET_ADDR_LEN, then the loads of a
// packed BEG LOOP's FROM, TO and STEP (CNST_n or IRA_n, each with its
// SET_ADDR_LEN) before a BEG LOOP, all relocated, as one (iictl.cpp; the
// same conditions): the BEG LOOP to run next (s->pc at it); null, with
// nothing done, when the instructions are not those or a field has no data
// area.
uint8_t* ii_beg_loop_loads(IlfState* s, uint8_t* pc, uint8_t* f);
// IF, AND and OR statements run as one step by their compiled compares so
// far, and the statements looked at to build one (tests).
uint64_t ii_cmp_plan_runs();
uint64_t ii_cmp_plan_builds();
// A CALC statement's plan as the loop plans read it: its steps in order
// (kind 1 a push of the operand at `off`, a constant's own offset or else
// its area word's; 2 the operation `arg`, 1 + 2 - 3 *; 3 negation; 4 the
// store into the first push), the instruction after the statement and the
// instructions it stands for.
struct IiPlanStep {
  uint8_t kind, arg, is_cnst;
  uint32_t off;
};
struct IiPlanView {
  IiPlanStep step[48];
  int n = 0;
  uint32_t next = 0;
  uint16_t insts = 0;
};
// The plan of the CALC statement whose reset is at pc, built when it has
// none yet: 1, 0 while the statement waits for its first run, -1 when it
// has no plan.
int ii_math_plan_view(uint8_t* pc, IiPlanView* out);
// Whether the older multiply is on (the plans leave it to the instructions).
bool ii_math_old_mul();
// Drops the trailing zero decimals of a magnitude (all of them from 0),
// a 64-bit one at scale sc >= 0 first. A decimal zero is a factor of two
// and one of five: at most the trailing zero bits can go, and each five is
// taken off by an exact division, a multiply by its inverse modulo 2^64
// (x is a multiple of 5^j exactly when x times the inverse of 5^j is at most
// (2^64 - 1) / 5^j), so no division runs and an odd magnitude costs one test.
namespace ii_trim_detail {
constexpr uint64_t inverse(uint64_t x) {  // x odd: y with x * y = 1 modulo 2^64
  uint64_t y = x;
  for (int i = 0; i < 6; ++i) y *= 2 - x * y;
  return y;
}
constexpr uint64_t kInv5 = inverse(5), kInv625 = inverse(625);
static_assert(5 * kInv5 == 1 && 625 * kInv625 == 1);
}  // namespace ii_trim_detail
[[gnu::always_inline]] inline void ii_trim64(uint64_t& w, int& sc) {
  using namespace ii_trim_detail;
  if (w == 0) {
    sc = 0;
    return;
  }
  int n = std::min(__builtin_ctzll(w), sc), z = 0;
  if (n <= 0) return;
  uint64_t q = w;
  for (uint64_t t; n - z >= 4 && (t = q * kInv625) <= UINT64_MAX / 625; z += 4) q = t;
  for (uint64_t t; z < n && (t = q * kInv5) <= UINT64_MAX / 5; ++z) q = t;
  w = q >> z;
  sc -= z;
}

// A binary field of 1, 2 or (any other length) 4 bytes, signed or not.
inline int64_t ii_read_bin(const uint8_t* p, int len, bool sg) {
  if (len == 1) return sg ? int8_t(p[0]) : p[0];
  uint16_t h = uint16_t(p[0] | p[1] << 8);
  if (len == 2) return sg ? int16_t(h) : h;
  uint32_t w = rec::view<rec::U32>(const_cast<uint8_t*>(p));
  return sg ? int64_t(int32_t(w)) : int64_t(w);
}
// The same by an IF_BIN operand code: 1 unsigned four bytes, 2 two, 3 one;
// 4-6 the same signed.
inline int64_t ii_read_bin_code(const uint8_t* p, int code) {
  bool sg = code >= 4;
  int kind = sg ? code - 3 : code;
  return ii_read_bin(p, kind == 3 ? 1 : kind == 2 ? 2 : 4, sg);
}

// The last occurrence OCC_PD and OCC_BIN accept for an address register at
// base: the instruction's maximum, else the last element that ends inside
// the data area holding base (65535 at most, and when the module's area
// table does not know that area). Below 1 or past it is 102710.
uint32_t ii_occ_last(const IlfState* s, const IbOcc& in, const uint8_t* base);

// A value at scale sc (0-31) rounded to an integer, half away from zero,
// when it is a signed 32-bit word (what CALC stores into a binary target).
inline bool ii_round_word(int64_t v, int sc, int32_t* out) {
  uint64_t a = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  if (sc >= 20) {  // (|v| < 2^63 < 10^20 / 2)
    a = 0;
  } else if (sc > 0) {
    uint64_t p = uint64_t(pacdec::pow10(sc)), r = a % p;
    a = a / p + (r >= p - r);
  }
  if (a > (v < 0 ? uint64_t(1) << 31 : (uint64_t(1) << 31) - 1)) return false;
  *out = int32_t(uint32_t(v < 0 ? 0 - a : a));
  return true;
}

// IF_STR_REST's comparison of the n bytes past a shorter text's end in the
// longer one with blanks: 0 all blank, else 1 or -1 by the first that is
// not (eight blanks at a time up to the word that holds it).
inline int ii_rest_vs_blanks(const uint8_t* rest, size_t n) {
  constexpr uint64_t kBlanks = 0x2020202020202020ULL;
  size_t i = 0;
  uint64_t w;
  for (; i + 8 <= n; i += 8) {
    std::memcpy(&w, rest + i, 8);
    if (w != kBlanks) break;
  }
  if (i + 8 > n && i < n && n >= 8) {  // the last word, over the blanks before it
    std::memcpy(&w, rest + n - 8, 8);
    if (w == kBlanks) return 0;
  }
  for (; i < n; ++i)
    if (rest[i] != ' ') return rest[i] > ' ' ? 1 : -1;
  return 0;
}

// A magnitude shifted k places (-31..31) as pd_shft shifts (up exactly,
// down rounded half away from zero): false when it leaves 64 bits or k its
// bounds. (A COMPUTE's product or aligned sum may have 19 digits.)
inline bool ii_shift64_by(uint64_t& m, int k) {
  if (k < -31 || k > 31) return false;
  if (k >= 0) return m == 0 || (k <= 15 && !__builtin_mul_overflow(m, uint64_t(pacdec::pow10(k)), &m));
  if (k < -19) {  // (below 2^64, less than half of 10^20)
    m = 0;
    return true;
  }
  const uint64_t d = uint64_t(pacdec::pow10(-k)), r = m % d;
  m = m / d + (r >= d - r ? 1 : 0);
  return true;
}
// (A value at the scale it goes to, mostly: no shift, in line.)
inline bool ii_shift64(uint64_t& m, int k) { return k == 0 || ii_shift64_by(m, k); }

// The factor of the last divisor: 10^k / b and k, or k = -1 when b is not
// a divisor of a power of ten up to 10^15.
struct IiDivisor {
  uint64_t b = 0, f = 0;
  int k = -1;
};
inline IiDivisor ii_last_divisor;
// The factor of divisor bm (not 0).
inline IiDivisor ii_divisor_of(uint64_t bm) {
  uint64_t b = bm;
  int twos = __builtin_ctzll(b), fives = 0;
  b >>= twos;
  while (b % 5 == 0) {
    b /= 5;
    ++fives;
  }
  IiDivisor d;
  d.b = bm;
  d.k = std::max(twos, fives);
  if (b != 1 || d.k > 15) d.k = -1;
  else d.f = uint64_t(pacdec::pow10(d.k)) / bm;
  return d;
}
[[gnu::noinline]] inline void ii_divisor_factor(uint64_t bm) { ii_last_divisor = ii_divisor_of(bm); }
// A quotient by a divisor whose only prime factors are 2 and 5 (2, 4, 5,
// 8, 16, 20, 25 ...) is a product: a / b = a x (10^k / b) / 10^k. Where that
// product has at most 15 significant digits and 15 decimals it is exact,
// and so what exact_quotient finds through the double division, found
// without it; false (nothing changed) otherwise.
// (Call false: a divisor other than the last one is false too, so that
// a handler's straight path makes no call.)
template <bool Call = true>
[[gnu::always_inline]] inline bool ii_divide_p10(uint64_t& am, int& as, uint64_t bm, int bs) {
  constexpr uint64_t k53 = uint64_t(1) << 53;
  if (am == 0 || bm == 0 || am >= k53 || bm >= k53 || as < 0 || as > 15 || bs < 0 || bs > 15) return false;
  // The last divisor's factor is kept: a loop divides by the same one.
  if (bm != ii_last_divisor.b) [[unlikely]] {
    if (!Call) return false;
    ii_divisor_factor(bm);
  }
  int k = ii_last_divisor.k;
  uint64_t last_f = ii_last_divisor.f;
  if (k < 0) return false;
  uint64_t m;
  int sc = as + k - bs;
  if (__builtin_mul_overflow(am, last_f, &m)) return false;
  if (sc < 0) {
    if (__builtin_mul_overflow(m, uint64_t(pacdec::pow10(-sc)), &m)) return false;
    sc = 0;
  }
  ii_trim64(m, sc);
  if (sc > 15 || m >= 1000000000000000ULL) return false;
  am = m;
  as = sc;
  return true;
}
// A CALC division on 64-bit values with their scales (0..31), as the
// instructions divide: q at scale qs (15 significant digits, or up to 17
// at scale 0);
// false when the division fails (by zero, a quotient of 10^17 or more).
// The division by a power of ten's divisor runs in line (a loop's plan
// divides by the same one again and again), the rest out of line.
// (Call false: only the division in line, else false.)
bool ii_math_divide_general(int64_t a, int as, int64_t b, int bs, int64_t* q, int* qs);
template <bool Call = true>
[[gnu::always_inline]] inline bool ii_math_divide(int64_t a, int as, int64_t b, int bs, int64_t* q, int* qs) {
  uint64_t m = a < 0 ? uint64_t(0) - uint64_t(a) : uint64_t(a);
  if (ii_divide_p10<Call>(m, as, b < 0 ? uint64_t(0) - uint64_t(b) : uint64_t(b), bs)) {
    *q = (a < 0) != (b < 0) ? -int64_t(m) : int64_t(m);
    *qs = as;
    return true;
  }
  return Call && ii_math_divide_general(a, as, b, bs, q, qs);
}

// ------------------------------------------------- the value cache --
// Variable packed values (8 bytes of 15 digits and a sign nibble, then the
// scale byte) as 64-bit values with their scales, shared by every handler
// and plan that reads or stores one. An entry remembers the bytes last
// stored or decoded at a place (the snapshot: the 8 packed bytes and the
// scale byte) with their value. A read loads the place's bytes and its
// entry and takes the entry's value only when the snapshot equals those
// bytes, else it decodes them and fills the entry. A value is a pure
// function of the 9 bytes and the sign nibbles (pd_pos, pd_neg), and the
// key holds all three, so a value read is exact whatever wrote the field
// (another instruction, a record read into its buffer, another process):
// nothing has to keep the table in step, and code that knows nothing of it
// stays correct. The place only decides the slot (hits and misses), never a
// value. Only valid values are entered: digit nibbles 0-9, a sign nibble
// that is one of the pair, a scale byte of 0-31 (the CALC's negative scales
// and anything else read as not valid, and the caller's own path decides).
// A value goes on from a hit through a branch (predicted), so neither its
// decode nor the encode of the store before it waits in the chain: the slot
// comes from the place, known before the bytes are, and not from the bytes
// (which would find a moved value too, but make every read wait for the
// encode of the store before it).
struct IiVcEntry {
  uint64_t key;  // place (its low 32 bits) | scale byte << 32 | sign pair << 40 | 1 << 63; 0 empty
  uint64_t raw;  // the 8 packed bytes (their load in memory order)
  int64_t v;     // their value
  uint64_t unused;
};
constexpr uint32_t kIiVcSlots = 128;
alignas(64) inline IiVcEntry ii_vc_table[kIiVcSlots];
// The sign nibbles as the cache keys them: pd_pos | pd_neg << 8.
inline uint64_t ii_vc_pair() { return uint64_t(com.pd_pos) | uint64_t(com.pd_neg) << 8; }
// (The entry of (place >> 3) modulo the slots, its byte offset worked out
// in two steps.)
static_assert(sizeof(IiVcEntry) == 32);
inline IiVcEntry& ii_vc_slot(uint32_t place) {
  auto* t = reinterpret_cast<uint8_t*>(ii_vc_table);
  return *reinterpret_cast<IiVcEntry*>(t + ((size_t(place) << 2) & ((kIiVcSlots - 1) * sizeof(IiVcEntry))));
}
// The key's bits of the sign pair (the same for every place while the
// pair holds: a handler works it out once).
inline uint64_t ii_vc_hi(uint64_t pair) { return pair << 40 | uint64_t(1) << 63; }
inline uint64_t ii_vc_key(uint32_t place, uint8_t scale, uint64_t pair) {
  return place | uint64_t(scale) << 32 | ii_vc_hi(pair);
}
// The miss: decodes raw (the 8 bytes read) under the scale byte and sign
// pair the key holds, as read with them, and enters them when valid (the
// value comes back in registers, so that a caller's value need not live in
// memory).
struct IiVcGot {
  int64_t v;
  uint64_t ok;
};
IiVcGot ii_vc_fill(uint64_t raw, uint64_t key);
// The miss in line (ii_vc_fill's work), for a handler's straight path
// that makes no call.
inline uint64_t ii_vc_misses = 0;
[[gnu::always_inline]] inline IiVcGot ii_vc_fill_here(uint64_t raw, uint64_t key) {
  ++ii_vc_misses;
  uint64_t x = __builtin_bswap64(raw), sg = x & 0xF, d = x >> 4;
  uint64_t scale = (key >> 32) & 0xFF, pos = (key >> 40) & 0xFF, neg = (key >> 48) & 0xFF;
  if (scale > uint64_t(kIiMaxScale) || !pacdec::digits_ok(d) || (sg != pos && sg != neg)) return IiVcGot{0, 0};
  int64_t m = int64_t(pacdec::bcd_to_bin(d));
  int64_t v = sg == neg ? -m : m;
  IiVcEntry& e = ii_vc_slot(uint32_t(key));
  e.key = key;
  e.raw = raw;
  e.v = v;
  return IiVcGot{v, 1};
}
// The look-up both reads share: hi the key's pair bits (ii_vc_hi); the
// miss in line (Here) or through ii_vc_fill.
template <bool Here>
[[gnu::always_inline]] inline bool ii_vc_lookup(const uint8_t* p, uint64_t hi, int64_t& v, int& sc) {
  uint64_t raw;
  std::memcpy(&raw, p, 8);
  uint8_t k = p[8];
  uint32_t place = uint32_t(uintptr_t(p) - uintptr_t(ii_arena));
  uint64_t key = place | uint64_t(k) << 32 | hi;
  const IiVcEntry& e = ii_vc_slot(place);
  sc = k;
  if (((e.key ^ key) | (e.raw ^ raw)) == 0) [[likely]] {
    v = e.v;
    return true;
  }
  IiVcGot got = Here ? ii_vc_fill_here(raw, key) : ii_vc_fill(raw, key);
  v = got.v;
  return got.ok != 0;
}
// The value and scale of the variable packed value at p (its 9 bytes):
// false when it is not valid (v and sc then undefined).
[[gnu::always_inline]] inline bool ii_vc_read(const uint8_t* p, uint64_t pair, int64_t& v, int& sc) {
  return ii_vc_lookup<false>(p, ii_vc_hi(pair), v, sc);
}
// ii_vc_read with the key's pair bits worked out (hi, ii_vc_hi) and the
// miss in line.
[[gnu::always_inline]] inline bool ii_vc_get(const uint8_t* p, uint64_t hi, int64_t& v, int& sc) {
  return ii_vc_lookup<true>(p, hi, v, sc);
}
// Enters what the caller itself stored at p: the 8 bytes raw, the scale
// byte sc (0-31), and v, which must be their value under the sign pair.
[[gnu::always_inline]] inline void ii_vc_enter(const uint8_t* p, uint64_t raw, int64_t v, int sc, uint64_t pair) {
  uint32_t place = uint32_t(uintptr_t(p) - uintptr_t(ii_arena));
  IiVcEntry& e = ii_vc_slot(place);
  e.key = ii_vc_key(place, uint8_t(sc), pair);
  e.raw = raw;
  e.v = v;
}
// Stores v (|v| below 10^15) at scale sc (0-31) at p as the packed
// instructions write it (zero as the positive zero) and enters it.
[[gnu::always_inline]] inline void ii_vc_store(uint8_t* p, int64_t v, int sc, uint64_t pair) {
  uint64_t a = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  uint64_t raw = pacdec::bcd_mem_signed(a, v < 0 ? pair >> 8 : pair & 0xFF);
  std::memcpy(p, &raw, 8);
  p[8] = uint8_t(sc);
  ii_vc_enter(p, raw, v, sc, pair);
}
// pd_var_bin (foundation/pd.h) of the variable packed value at p, through
// the cache: its integer part, truncated toward zero, held to the int32
// range.
[[gnu::always_inline]] inline int32_t ii_vc_int(const uint8_t* p) {
  int64_t v;
  int sc;
  if (!ii_vc_read(p, ii_vc_pair(), v, sc)) [[unlikely]]
    return pd_var_bin(p);  // (not valid, or a scale below 0)
  if (sc > 0) v = sc > 15 ? 0 : v / int64_t(pacdec::pow10(sc));  // (|v| < 10^15)
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : int32_t(v);
}
// Empties the table (tests; never needed for exactness).
void ii_vc_clear();
// Reads that missed so far (tests, benchmarks).
struct IiVcCounts {
  uint64_t misses = 0;
};
IiVcCounts ii_vc_counts();

// IF_DAT's comparison of the dates at a and b by the instruction at pc:
// -1, 0, 1, or kIiBadDate when one does not convert (run-time error
// 102540). The loop plans compare by it too.
constexpr int kIiBadDate = 2;
int ii_if_dat_compare(const uint8_t* pc, uint8_t* a, uint8_t* b);
struct DateDescRec;
// A valid text date from the century to the day (stored CCYYMMDD, whatever
// its mask shows) at v, described by r: its 8 bytes as a big-endian number
// in *key, which orders dates as their units do (what ii_if_dat_compare
// compares two of them by); false for anything else.
bool ii_date_key8(const DateDescRec& r, const uint8_t* v, uint64_t* key);
// DATE ADD of days (the instruction at pc) to a text date from the century
// to the day: whether it is one (ii_date_add_text_days), and the add itself
// of the count at `count` to the date at v, as the instruction adds (false,
// nothing written, when the date or the count does not read or the result
// leaves the calendar: the instruction's to report). The loop plans add by
// it.
bool ii_date_add_text_days(const uint8_t* pc);
bool ii_date_add_days(const uint8_t* pc, uint8_t* v, const uint8_t* count);

// Loop plans (iiloop.cpp): END LOOP's back edge of a packed loop hands the
// body to its plan, which returns the instruction the interpreter goes on
// at. ii_loop_set_plans switches them (tests); ii_loop_plan_iterations
// counts the iterations they ran, ii_loop_plan_builds the bodies looked at
// to build one (a body no plan takes is looked at once).
// ii_loop_back is in line up to the plan's look-up (a loop without a plan
// pays a byte's test); ii_loop_plans_on is the switch ii_loop_set_plans
// sets.
inline bool ii_loop_plans_on = true;
uint8_t* ii_loop_enter(IlfState* s, uint8_t* end_pc, uint8_t* back);
inline uint8_t* ii_loop_back(IlfExecBlock*, IlfState* s, uint8_t* end_pc, uint8_t* back) {
  uint8_t wait = end_pc[3];
  if (wait > 1) {
    end_pc[3] = uint8_t(wait - 1);
    return back;
  }
  if (!ii_loop_plans_on || ii_slow(s)) return back;
  return ii_loop_enter(s, end_pc, back);
}
// BEG LOOP of a packed loop going into its body (after ii_loop_begun):
// when the loop has a plan that may run from the top (byte 3 of BEG LOOP,
// IbInst::zero, set by the END LOOP's plan: 1, or back entries to skip
// first), ii_loop_begin runs it from the first iteration and returns the
// instruction to go on at (body when it did not start). blk is the loop's
// control block.
uint8_t* ii_loop_begin(IlfState* s, uint8_t* beg, uint8_t* blk, uint8_t* body);
inline uint8_t* ii_loop_first(IlfState* s, uint8_t* beg, uint8_t* blk, uint8_t* body) {
  uint8_t wait = rec::view<IbInst>(beg).zero;
  if (wait == 0) [[likely]]
    return body;
  if (wait > 1) {
    rec::view<IbInst>(beg).zero = uint8_t(wait - 1);
    return body;
  }
  if (!ii_loop_plans_on || ii_slow(s)) return body;
  return ii_loop_begin(s, beg, blk, body);
}
// A GOSUB's return entry: the return address and the caller's truth mask
// (GOSUB, and a loop plan that leaves inside the routine).
void ii_gosub_push(IlfState* s, uint8_t* ret, uint32_t mask);
void ii_loop_set_plans(bool on);
uint64_t ii_loop_plan_iterations();
uint64_t ii_loop_plan_builds();
uint64_t ii_loop_plan_firsts();  // the plans' entries at BEG LOOP
uint64_t ii_loop_plan_inner();   // the inner loops' BEG LOOPs the outer loops' plans ran
