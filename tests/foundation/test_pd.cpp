// Packed-decimal arithmetic against exact oracles.
//
// The random sweeps compare every operation with 128-bit integer arithmetic
// (GMP where an intermediate exceeds 128 bits) over lengths 1-16, mixed
// lengths, signs, configured sign-nibble pairs and the overflow boundary.
// QUVO_PD_CASES sets the number of cases per operation (default 200000; the
// long run uses 10000000), QUVO_PD_SEED the seed.
#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "foundation/bi.h"
#include "foundation/pd.h"

namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionSuccess;
using i128 = __int128;
using u128 = unsigned __int128;

// ------------------------------------------------------------- oracle side --
i128 p10(int n) {
  i128 v = 1;
  while (n-- > 0) v *= 10;
  return v;
}
i128 iabs(i128 v) { return v < 0 ? -v : v; }

std::string str(i128 v) {
  if (v == 0) return "0";
  bool neg = v < 0;
  u128 u = neg ? u128(-v) : u128(v);
  std::string s;
  while (u) {
    s.insert(s.begin(), char('0' + int(u % 10)));
    u /= 10;
  }
  return neg ? "-" + s : s;
}

struct Packed {
  uint8_t b[16 + 8];  // room past the value: a write beyond len shows up
  int len;
};

// Nibble by nibble, the plain way.
Packed enc(i128 v, int len, uint8_t pos, uint8_t neg) {
  Packed p{};
  std::memset(p.b, 0xEE, sizeof p.b);
  p.len = len;
  u128 u = v < 0 ? u128(-v) : u128(v);
  int nibbles = 2 * len;
  for (int i = nibbles - 2; i >= 0; --i) {
    int d = int(u % 10);
    u /= 10;
    uint8_t& byte = p.b[i / 2];
    if (i % 2 == 0) byte = uint8_t((byte & 0x0F) | (d << 4)); else byte = uint8_t((byte & 0xF0) | d);
  }
  uint8_t s = v < 0 ? neg : pos;
  p.b[len - 1] = uint8_t((p.b[len - 1] & 0xF0) | s);
  return p;
}
Packed enc(i128 v, int len) { return enc(v, len, com.pd_pos, com.pd_neg); }

std::optional<i128> dec(const uint8_t* b, int len) {
  i128 v = 0;
  for (int i = 0; i < 2 * len - 1; ++i) {
    int d = (i % 2 == 0) ? b[i / 2] >> 4 : b[i / 2] & 0xF;
    if (d > 9) return std::nullopt;
    v = v * 10 + d;
  }
  int s = b[len - 1] & 0xF;
  if (s == com.pd_neg) return -v;
  if (s == com.pd_pos) return v;
  return std::nullopt;
}

bool fits(i128 v, int len) { return iabs(v) < p10(2 * len - 1); }

// Half away from zero, or toward zero.
i128 div_round(i128 n, i128 d, bool round) {
  i128 q = n / d, r = n % d;
  if (round && 2 * iabs(r) >= iabs(d)) q += ((n < 0) != (d < 0)) ? -1 : 1;
  return q;
}

uint64_t env_u64(const char* name, uint64_t dflt) {
  const char* s = std::getenv(name);
  return s && *s ? std::strtoull(s, nullptr, 10) : dflt;
}
uint64_t cases() { return env_u64("QUVO_PD_CASES", 200000); }

struct SignPair {
  uint8_t pos, neg;
};
const SignPair kPairs[] = {{0xC, 0xD}, {0xF, 0xD}, {0xA, 0xB}, {0xC, 0xB}, {0xE, 0xF}};

class Gen {
 public:
  explicit Gen(uint64_t salt) : rng_(env_u64("QUVO_PD_SEED", 20240601) * 1000003 + salt) {}
  int len() { return int(rng_() % 16) + 1; }
  int range(int lo, int hi) { return lo + int(rng_() % uint64_t(hi - lo + 1)); }
  bool coin(int in) { return rng_() % uint64_t(in) == 0; }
  // A value of at most `digits` digits, weighted toward the edges.
  i128 value(int digits) {
    i128 v;
    switch (rng_() % 10) {
      case 0: v = 0; break;
      case 1: v = p10(digits) - 1; break;             // all nines
      case 2: v = p10(range(0, digits - 1)); break;    // a power of ten
      default: {
        int d = range(1, digits);
        v = 0;
        for (int i = 0; i < d; ++i) v = v * 10 + int(rng_() % 10);
      }
    }
    return (rng_() & 1) ? -v : v;
  }
  i128 value_len(int len) { return value(2 * len - 1); }
  // Makes a random nibble of the len-byte value v invalid: a digit nibble
  // above 9, or a sign nibble of neither sign.
  void spoil(uint8_t* v, int len) {
    int nib = range(0, 2 * len - 1);
    uint8_t& byte = v[nib / 2];
    uint8_t x;
    if (nib == 2 * len - 1) {
      do x = uint8_t(range(0, 15)); while (x == com.pd_pos || x == com.pd_neg);
    } else {
      x = uint8_t(range(10, 15));
    }
    byte = nib % 2 == 0 ? uint8_t((byte & 0x0F) | (x << 4)) : uint8_t((byte & 0xF0) | x);
  }
  void pick_pair() {
    const SignPair& p = kPairs[rng_() % (sizeof kPairs / sizeof kPairs[0])];
    com.pd_pos = p.pos;
    com.pd_neg = p.neg;
  }
  std::mt19937_64& rng() { return rng_; }

 private:
  std::mt19937_64 rng_;
};

class Pd : public ::testing::Test {
 protected:
  void SetUp() override { bi_init_com(); }
  void TearDown() override { bi_init_com(); }
};

std::string hex(const uint8_t* b, int n) {
  std::string s;
  char t[4];
  for (int i = 0; i < n; ++i) {
    std::snprintf(t, sizeof t, "%02X", b[i]);
    s += t;
  }
  return s;
}

// Checks one in-place operation: a must equal enc(expected) when `ok`, and be
// unchanged with result 0 otherwise; nothing past a's length may change.
::testing::AssertionResult same(const char* what, int got, const Packed& a, const Packed& before,
                                std::optional<i128> expected) {
  if (expected) {
    Packed want = enc(*expected, a.len);
    if (got != 1 || std::memcmp(a.b, want.b, sizeof a.b) != 0)
      return ::testing::AssertionFailure()
             << what << ": got " << got << " " << hex(a.b, a.len) << ", want 1 "
             << hex(want.b, a.len) << " (" << str(*expected) << ")";
  } else if (got != 0 || std::memcmp(a.b, before.b, sizeof a.b) != 0) {
    return ::testing::AssertionFailure() << what << ": got " << got << " " << hex(a.b, a.len)
                                         << ", want failure with " << hex(before.b, a.len);
  }
  return ::testing::AssertionSuccess();
}

// A random sweep: n cases from the generator of salt, a sign pair picked
// for each when pick is set. Each case gives its verdict; the first that
// fails ends the sweep.
template <class Fn>
void sweep(uint64_t salt, uint64_t n, bool pick, Fn fn) {
  Gen g(salt);
  for (uint64_t i = 0; i < n; ++i) {
    if (pick) g.pick_pair();
    ::testing::AssertionResult verdict = fn(g, i);
    if (!verdict) {
      ADD_FAILURE() << verdict.message();
      return;
    }
  }
}

enum class Op { Add, Sub, Mul };

void sweep_binary(Op op, uint64_t salt) {
  sweep(salt, cases(), true, [&](Gen& g, uint64_t i) {
    int alen = g.len(), blen = g.coin(3) ? alen : g.len();
    i128 av, bv;
    if (op == Op::Mul) {
      // Near the boundary: digit counts that sum to about the target's.
      int da = g.range(1, 2 * alen - 1);
      av = g.value(da);
      bv = g.value(std::min(2 * blen - 1, std::max(1, 2 * alen - da + g.range(-1, 1))));
    } else {
      av = g.value_len(alen);
      bv = g.value_len(blen);
    }
    Packed a = enc(av, alen), b = enc(bv, blen), before = a;
    i128 r = op == Op::Add ? av + bv : op == Op::Sub ? av - bv : av * bv;
    std::optional<i128> want;
    if (fits(r, alen)) want = r;
    int got = op == Op::Add ? pd_add(a.b, alen, b.b, blen)
              : op == Op::Sub ? pd_sub(a.b, alen, b.b, blen)
                              : pd_mul(a.b, alen, b.b, blen);
    auto res = same("op", got, a, before, want);
    if (!res)
      return AssertionFailure() << res.message() << " case " << i << ": " << str(av) << "/" << alen << " op "
                                << str(bv) << "/" << blen;
    return AssertionSuccess();
  });
}

}  // namespace

// ------------------------------------------------------------ random sweeps --
TEST_F(Pd, AddMatchesOracle) { sweep_binary(Op::Add, 1); }
TEST_F(Pd, SubMatchesOracle) { sweep_binary(Op::Sub, 2); }
TEST_F(Pd, MulMatchesOracle) { sweep_binary(Op::Mul, 3); }

TEST_F(Pd, DivMatchesOracle) {
  mpz_t num, den, q, r;
  mpz_inits(num, den, q, r, nullptr);
  sweep(4, cases(), true, [&](Gen& g, uint64_t i) {
    int alen = g.len(), blen = g.len(), scale = g.coin(4) ? 0 : g.range(0, 31);
    int round = int(g.rng()() & 1);
    i128 av = g.value_len(alen), bv = g.value_len(blen);
    Packed a = enc(av, alen), b = enc(bv, blen), before = a;
    std::optional<i128> want;
    if (bv != 0) {
      mpz_set_str(num, str(av).c_str(), 10);
      mpz_set_str(den, str(bv).c_str(), 10);
      mpz_mul_si(num, num, 1);
      mpz_t t;
      mpz_init(t);
      mpz_ui_pow_ui(t, 10, unsigned(scale));
      mpz_mul(num, num, t);
      mpz_tdiv_qr(q, r, num, den);  // toward zero
      mpz_mul_ui(r, r, 2);
      if (round && mpz_cmpabs(r, den) >= 0) {
        if (mpz_sgn(num) * mpz_sgn(den) < 0) mpz_sub_ui(q, q, 1); else mpz_add_ui(q, q, 1);
      }
      mpz_ui_pow_ui(t, 10, unsigned(2 * alen - 1));
      if (mpz_cmpabs(q, t) < 0) {
        char buf[64];
        mpz_get_str(buf, 10, q);
        i128 v = 0;
        for (const char* p = buf[0] == '-' ? buf + 1 : buf; *p; ++p) v = v * 10 + (*p - '0');
        want = buf[0] == '-' ? -v : v;
      }
      mpz_clear(t);
    }
    int got = pd_div(a.b, alen, b.b, blen, scale, round);
    auto res = same("pd_div", got, a, before, want);
    if (!res)
      return AssertionFailure() << res.message() << " case " << i << ": " << str(av) << "/" << alen << " div "
                                << str(bv) << "/" << blen << " scale " << scale << " round " << round;
    return AssertionSuccess();
  });
  mpz_clears(num, den, q, r, nullptr);
}

TEST_F(Pd, SetCmpSigDigitsMatchOracle) {
  sweep(5, cases(), true, [&](Gen& g, uint64_t i) {
    int alen = g.len(), blen = g.coin(3) ? alen : g.len();
    i128 av = g.value_len(alen), bv = g.coin(4) ? -av : g.value_len(blen);
    if (!fits(bv, blen)) bv = 0;
    Packed a = enc(av, alen), b = enc(bv, blen);
    // pd_set: b := a
    Packed t = b, before = b;
    std::optional<i128> want;
    if (fits(av, blen)) want = av;
    auto res = same("pd_set", pd_set(t.b, blen, a.b, alen), t, before, want);
    if (!res) return AssertionFailure() << res.message() << " case " << i;
    int c = (av > bv) - (av < bv);
    int got = pd_cmp(a.b, alen, b.b, blen);
    if (got != c) return AssertionFailure() << "pd_cmp " << str(av) << " " << str(bv) << ": " << got;
    int count = -5, digits = 0;
    for (i128 v = iabs(av); v; v /= 10) ++digits;
    if (SIG_DIGITS(a.b, alen, &count) != digits || count != digits)
      return AssertionFailure() << "SIG_DIGITS " << str(av) << ": " << count;
    return AssertionSuccess();
  });
}

TEST_F(Pd, FastFormsMatchOracle) {
  sweep(6, cases(), true, [&](Gen& g, uint64_t) {
    i128 av = g.value(15), bv = g.coin(5) ? av : g.value(15);
    Packed a = enc(av, 8), b = enc(bv, 8), before = a;
    bool sub = g.coin(2);
    i128 r = sub ? av - bv : av + bv;
    std::optional<i128> want;
    if (fits(r, 8)) want = r;
    auto res = same(sub ? "pd_fast_sub" : "pd_fast_add", sub ? pd_fast_sub(a.b, b.b) : pd_fast_add(a.b, b.b),
                    a, before, want);
    if (!res) return AssertionFailure() << res.message() << " " << str(av) << " " << str(bv);
    int c = (av > bv) - (av < bv);
    if (pd_fast_cmp(before.b, b.b) != c) return AssertionFailure() << "pd_fast_cmp " << str(av) << " " << str(bv);
    return AssertionSuccess();
  });
}

// The 8-byte add, subtract and multiply have kernels of their own: operands
// of every digit count (the multiply treats up to 8 digits apart), products
// and sums at the 15-digit boundary, every sign pair, and a bad nibble in any
// place of either operand.
TEST_F(Pd, EightByteKernelsMatchOracle) {
  sweep(13, cases(), true, [&](Gen& g, uint64_t) {
    int op = g.range(0, 4);  // add, sub, mul, fast add, fast sub
    int da = g.range(0, 15), db;
    if (op == 2 && g.coin(2)) db = std::clamp(16 - da + g.range(-2, 1), 0, 15);  // near 10^15
    else db = g.range(0, 15);
    i128 av = da ? g.value(da) : 0, bv = db ? g.value(db) : 0;
    if (g.coin(8)) av = -av;
    Packed a = enc(av, 8), b = enc(bv, 8);
    i128 r = op == 2 ? av * bv : (op == 1 || op == 4) ? av - bv : av + bv;
    bool ok = fits(r, 8);
    if (g.coin(8)) {  // a nibble that is no digit, or no sign
      g.spoil((g.coin(2) ? a : b).b, 8);
      ok = false;
    }
    Packed before = a;
    int got = op == 0   ? pd_add(a.b, 8, b.b, 8)
              : op == 1 ? pd_sub(a.b, 8, b.b, 8)
              : op == 2 ? pd_mul(a.b, 8, b.b, 8)
              : op == 3 ? pd_fast_add(a.b, b.b)
                        : pd_fast_sub(a.b, b.b);
    auto res = same("8-byte", got, a, before, ok ? std::optional<i128>(r) : std::nullopt);
    if (!res)
      return AssertionFailure() << res.message() << " op " << op << " a " << hex(before.b, 8) << " b " << hex(b.b, 8)
                                << " pair " << int(com.pd_pos) << "/" << int(com.pd_neg);
    return AssertionSuccess();
  });
}

// The 8-byte multiply keeps tables for one sign pair: for each pair, after
// pd_signs_changed, operands of up to 8 digits (its fast case), some wider,
// invalid nibbles anywhere, zero and the 10^15 boundary.
TEST_F(Pd, MulKernelMatchesOracleForEverySignPair) {
  Gen g(17);
  uint64_t n = cases() / 4;
  for (const SignPair& pair : kPairs) {
    com.pd_pos = pair.pos;
    com.pd_neg = pair.neg;
    pd_signs_changed();
#if defined(QUVO_PD_X86)
    ASSERT_EQ(pacdec::mul_tables.pair, pair.pos | pair.neg << 8);
#endif
    for (uint64_t i = 0; i < n; ++i) {
      int da = g.coin(16) ? g.range(9, 15) : g.range(0, 8);
      int db = g.coin(3) ? std::clamp(16 - da + g.range(-1, 0), 0, 8) : g.range(0, 8);
      i128 av = da ? g.value(da) : 0, bv = db ? g.value(db) : 0;
      if (g.coin(8)) av = -av;
      if (g.coin(8)) bv = -bv;
      Packed a = enc(av, 8), b = enc(bv, 8);
      i128 r = av * bv;
      bool ok = fits(r, 8);
      if (g.coin(6)) {  // any nibble of either operand made invalid
        g.spoil((g.coin(2) ? a : b).b, 8);
        ok = false;
      }
      Packed before = a;
      auto res = same("mul", pd_mul(a.b, 8, b.b, 8), a, before, ok ? std::optional<i128>(r) : std::nullopt);
      if (!res) {
        ADD_FAILURE() << res.message() << " a " << hex(before.b, 8) << " b " << hex(b.b, 8) << " pair "
                      << int(pair.pos) << "/" << int(pair.neg);
        return;
      }
    }
  }
  // Products on either side of 10^15.
  const i128 edges[][2] = {{31250000, 32000000}, {31249999, 32000000}, {99999999, 10000000},
                           {99999999, 10000001}, {-27027027, 37000000}, {0, -99999999}};
  for (const auto& e : edges) {
    Packed a = enc(e[0], 8), b = enc(e[1], 8), before = a;
    i128 r = e[0] * e[1];
    auto res = same("edge", pd_mul(a.b, 8, b.b, 8), a, before, fits(r, 8) ? std::optional<i128>(r) : std::nullopt);
    EXPECT_TRUE(res) << str(e[0]) << " * " << str(e[1]);
  }
}

// A pair changed behind the multiply's back (no pd_signs_changed) is still
// read right; a pair that stays is taken up by its tables after a while, and
// one that keeps changing is not.
TEST_F(Pd, MulFollowsASignPairChangedDirectly) {
  const i128 vals[][2] = {{-1234, 5678}, {-42, -42}, {0, -7}, {99999999, -9999999}, {123456, 0}};
  for (int round = 0; round < 200; ++round) {
    const SignPair& pair = kPairs[round < 100 ? 2 : round % 5];
    com.pd_pos = pair.pos;
    com.pd_neg = pair.neg;
    for (const auto& v : vals) {
      Packed a = enc(v[0], 8), b = enc(v[1], 8), before = a;
      ASSERT_TRUE(same("mul", pd_mul(a.b, 8, b.b, 8), a, before, v[0] * v[1]))
          << "round " << round << " pair " << int(pair.pos) << "/" << int(pair.neg);
    }
#if defined(QUVO_PD_X86)
    if (round == 99) {
      EXPECT_EQ(pacdec::mul_tables.pair, kPairs[2].pos | kPairs[2].neg << 8);
    }
#endif
  }
#if defined(QUVO_PD_X86)
  EXPECT_EQ(pacdec::mul_tables.pair, kPairs[2].pos | kPairs[2].neg << 8);  // not the changing ones
#endif
  // One nibble for both signs can have no tables; nor can the pair (0, 0)
  // that the common block reads as before it is set up. The multiply then
  // answers as the general code does.
  for (uint8_t n : {uint8_t(0xC), uint8_t(0)}) {
    com.pd_pos = com.pd_neg = n;
    pd_signs_changed();
#if defined(QUVO_PD_X86)
    EXPECT_EQ(pacdec::mul_tables.pair, 0);
#endif
    Packed a = enc(3, 8), b = enc(-4, 8), general = a;
    EXPECT_EQ(pd_mul(a.b, 8, b.b, 8), pacdec::mul_n(general.b, 8, b.b, 8));
    EXPECT_EQ(hex(a.b, 8), hex(general.b, 8));
  }
}

TEST_F(Pd, ShiftsMatchOracle) {
  sweep(7, cases(), true, [&](Gen& g, uint64_t) {
    int len = g.len(), sh = g.range(-40, 40);
    bool round = g.coin(2);
    i128 v = g.value_len(len);
    Packed a = enc(v, len), before = a;
    std::optional<i128> want;
    if (sh >= 0) {
      if (v == 0) want = 0;
      else if (sh < 2 * len - 1 && iabs(v) < p10(2 * len - 1 - sh)) want = v * p10(sh);
    } else {
      want = -sh > 38 ? 0 : div_round(v, p10(-sh), round);
    }
    int got = round ? pd_shft(a.b, len, sh) : pd_shftn(a.b, len, sh);
    auto res = same(round ? "pd_shft" : "pd_shftn", got, a, before, want);
    if (!res) return AssertionFailure() << res.message() << " " << str(v) << "/" << len << " by " << sh;
    return AssertionSuccess();
  });
}

// Setting, shifting and counting work on the digit nibbles: the rounding
// carry through a run of nines (into a new leading digit, at every length),
// the digit bounds of the target (the limit and one past), and negative zero.
TEST_F(Pd, DigitFormsAtTheirBounds) {
  for (int len = 1; len <= 16; ++len) {
    int digits = 2 * len - 1;
    for (int m = 1; m <= digits; ++m)
      for (i128 v : {p10(m) - 1, -(p10(m) - 1), 5 * p10(m - 1), -5 * p10(m - 1) + 1, p10(m - 1)})
        for (int sh = -m - 1; sh <= digits - m + 1; ++sh)
          for (bool round : {true, false}) {
            Packed a = enc(v, len), before = a;
            std::optional<i128> want;
            if (sh < 0) want = div_round(v, p10(-sh), round);
            else if (sh < digits && iabs(v) < p10(digits - sh)) want = v * p10(sh);
            EXPECT_TRUE(same("shift", round ? pd_shft(a.b, len, sh) : pd_shftn(a.b, len, sh), a, before, want))
                << str(v) << "/" << len << " by " << sh;
            // Into every length: its digits and one past.
            for (int tlen = 1; tlen <= 16; ++tlen) {
              Packed t = enc(7, tlen), keep = t;
              std::optional<i128> fit;
              if (iabs(v) < p10(2 * tlen - 1)) fit = v;
              EXPECT_TRUE(same("pd_set", pd_set(t.b, tlen, before.b, len), t, keep, fit)) << str(v) << " " << tlen;
            }
            int count = -5;
            EXPECT_EQ(SIG_DIGITS(before.b, len, &count), iabs(v) < p10(m - 1) ? m - 1 : m);
          }
    // Negative zero: set and shifted positive, no digits.
    Packed z = enc(0, len);
    z.b[len - 1] = uint8_t((z.b[len - 1] & 0xF0) | com.pd_neg);
    Packed t = enc(1, len), keep = t;
    EXPECT_TRUE(same("pd_set", pd_set(t.b, len, z.b, len), t, keep, i128(0)));
    EXPECT_EQ(t.b[len - 1] & 0xF, com.pd_pos);
    Packed u = z;
    EXPECT_EQ(pd_shft(u.b, len, -1), 1);
    EXPECT_EQ(u.b[len - 1] & 0xF, com.pd_pos);
    EXPECT_EQ(SIG_DIGITS(z.b, len, nullptr), 0);
    if (HasFailure()) break;
  }
}

TEST_F(Pd, IntegerConversionsMatchOracle) {
  sweep(8, cases(), true, [&](Gen& g, uint64_t) {
    int len = g.len();
    int32_t x = int32_t(uint32_t(g.rng()()));
    if (g.coin(3)) x = int32_t(g.value(g.range(1, 9)));
    if (g.coin(50)) x = g.coin(2) ? INT32_MIN : INT32_MAX;
    Packed a = enc(0, len), before = a;
    std::optional<i128> want;
    if (fits(x, len)) want = x;
    auto res = same("pd_cvp", pd_cvp(a.b, len, x), a, before, want);
    if (!res) return AssertionFailure() << res.message() << " " << x << "/" << len;
    i128 v = g.value_len(len);
    if (g.coin(4)) v = i128(g.coin(2) ? INT32_MIN : INT32_MAX) + g.range(-2, 2);
    if (!fits(v, len)) v = 0;
    Packed p = enc(v, len);
    bool ok = false;
    int32_t got = pd_cvb(p.b, len, &ok);
    bool in = v >= INT32_MIN && v <= INT32_MAX;
    if (ok != in || got != (in ? int32_t(v) : 0))
      return AssertionFailure() << "pd_cvb " << str(v) << "/" << len << ": " << got << " " << ok;
    // Variable packed: 8 bytes and a signed scale byte.
    i128 w = g.value(15);
    int scale = g.range(-12, 40);
    Packed var = enc(w, 8);
    var.b[8] = uint8_t(int8_t(scale));
    i128 ip = scale >= 0 ? (scale > 38 ? 0 : w / p10(scale)) : (scale < -20 ? w * p10(20) : w * p10(-scale));
    int32_t wantv = ip > INT32_MAX ? INT32_MAX : ip < INT32_MIN ? INT32_MIN : int32_t(ip);
    if (pd_var_bin(var.b) != wantv)
      return AssertionFailure() << "pd_var_bin " << str(w) << " scale " << scale << ": " << pd_var_bin(var.b);
    return AssertionSuccess();
  });
}

TEST_F(Pd, TextConversionMatchesOracle) {
  sweep(9, cases(), true, [&](Gen& g, uint64_t) {
    int len = g.len(), scale = g.range(0, 12);
    i128 v = g.value(g.range(1, 31));
    char point = g.coin(3) ? ',' : '.';
    // Text: optional blanks, sign leading or trailing, leading zeros.
    std::string digits = str(iabs(v));
    if (int(digits.size()) <= scale) digits.insert(0, size_t(scale + 1 - int(digits.size())), '0');
    if (g.coin(4)) digits.insert(0, size_t(g.range(1, 3)), '0');
    std::string body = scale ? digits.substr(0, digits.size() - size_t(scale)) + point +
                                   digits.substr(digits.size() - size_t(scale))
                             : digits;
    std::string text = std::string(size_t(g.range(0, 2)), ' ');
    bool trailing = g.coin(2);
    if (v < 0 && !trailing) text += '-';
    else if (v >= 0 && g.coin(5)) text += '+';
    text += body;
    if (v < 0 && trailing) text += '-';
    text += std::string(size_t(g.range(0, 2)), ' ');
    Packed a = enc(0, len), before = a;
    PdCva out{a.b, len, -1};
    std::optional<i128> want;
    int sig = 0;
    for (i128 t = iabs(v); t; t /= 10) ++sig;
    if (fits(v, len) && sig <= 31) want = v;
    auto res = same("pd_cva", pd_cva(text.data(), int(text.size()), point, &out), a, before, want);
    if (!res || (want && out.scale != scale))
      return AssertionFailure() << res.message() << " text '" << text << "' len " << len << " scale " << out.scale;
    return AssertionSuccess();
  });
}

TEST_F(Pd, FloatConversionsMatchOracle) {
  mpq_t q, t;
  mpz_t z, r;
  mpq_inits(q, t, nullptr);
  mpz_inits(z, r, nullptr);
  sweep(10, cases(), true, [&](Gen& g, uint64_t) {
    // To float: exactly the correctly rounded reading of the decimal text.
    int len = g.len(), scale = g.range(-31, 31);
    i128 v = g.value_len(len);
    Packed a = enc(v, len);
    PdFloat blk{a.b, len, scale};
    std::string text = str(v) + "e" + std::to_string(-scale);
    double want = std::strtod(text.c_str(), nullptr);
    double got = pd_to_float(&blk);
    if (std::memcmp(&got, &want, sizeof got) != 0 && !(v == 0 && got == 0))
      return AssertionFailure() << "pd_to_float " << text << ": " << got << " want " << want;
    double bin = pd_bin_to_float(pacdec::u128(v < 0 ? -v : v), v < 0, scale);
    if (std::memcmp(&bin, &want, sizeof bin) != 0 && !(v == 0 && bin == 0))
      return AssertionFailure() << "pd_bin_to_float " << text << ": " << bin << " want " << want;
    // From float: x * 10^scale rounded half away from zero, exactly.
    int fs = g.range(0, 31);
    len = g.len();
    double x;
    switch (g.rng()() % 4) {
      case 0: x = double(int64_t(g.rng()() % 2000001) - 1000000) / 8; break;  // exact halves
      case 1: x = std::ldexp(double(int64_t(g.rng()() >> 11)), g.range(-80, 10)); break;
      default: x = std::strtod(text.c_str(), nullptr); break;
    }
    if (g.coin(2)) x = -x;
    Packed f = enc(0, len), before = f;
    PdFloat fb{f.b, len, fs};
    mpq_set_d(q, x);
    mpz_ui_pow_ui(z, 10, unsigned(fs));
    mpq_set_z(t, z);
    mpq_mul(q, q, t);
    // round half away from zero: trunc(|q| + 1/2)
    mpz_mul_ui(z, mpq_numref(q), 2);
    mpz_abs(z, z);
    mpz_add(z, z, mpq_denref(q));
    mpz_mul_ui(r, mpq_denref(q), 2);
    mpz_tdiv_q(z, z, r);
    std::optional<i128> wantf;
    mpz_ui_pow_ui(r, 10, unsigned(2 * len - 1));
    if (mpz_cmp(z, r) < 0) {
      char buf[64];
      mpz_get_str(buf, 10, z);
      i128 m = 0;
      for (const char* p = buf; *p; ++p) m = m * 10 + (*p - '0');
      wantf = x < 0 ? -m : m;
    }
    pacdec::u128 m = 0;
    bool bin_ok = pd_bin_from_float(x, fs, 2 * len - 1, &m);
    if (bin_ok != wantf.has_value() || (bin_ok && i128(m) != (*wantf < 0 ? -*wantf : *wantf)))
      return AssertionFailure() << "pd_bin_from_float " << x << " scale " << fs << " len " << len;
    auto res = same("pd_from_float", pd_from_float(&fb, x), f, before, wantf);
    if (!res) {
      char b[64];
      std::snprintf(b, sizeof b, "%.17g", x);
      return AssertionFailure() << res.message() << " x " << b << " scale " << fs << " len " << len;
    }
    return AssertionSuccess();
  });
  mpq_clears(q, t, nullptr);
  mpz_clears(z, r, nullptr);
}

TEST_F(Pd, BinMathMatchesOracle) {
  sweep(11, cases(), false, [&](Gen& g, uint64_t) {
    int op = g.range(1, 5), sa = g.range(0, 9), sb = g.range(0, 9);
    int ka = g.coin(3) ? kBinUnsigned : 1, kb = g.coin(3) ? kBinUnsigned : 1;
    int32_t a = int32_t(uint32_t(g.rng()()));
    int32_t b = int32_t(uint32_t(g.rng()()));
    if (g.coin(2)) a = int32_t(g.value(g.range(1, 6)));
    if (g.coin(2)) b = int32_t(g.value(g.range(1, 6)));
    if (g.coin(20)) b = 0;
    i128 va = ka == kBinUnsigned ? i128(uint32_t(a)) : i128(a);
    i128 vb = kb == kBinUnsigned ? i128(uint32_t(b)) : i128(b);
    bool has = true;
    i128 r = 0;
    int s = std::max(sa, sb);
    switch (op) {
      case kBinAdd: r = div_round(va * p10(s - sa) + vb * p10(s - sb), p10(s - sa), true); break;
      case kBinSub: r = div_round(va * p10(s - sa) - vb * p10(s - sb), p10(s - sa), true); break;
      case kBinMul: r = div_round(va * vb, p10(sb), true); break;
      case kBinDiv: has = vb != 0; if (has) r = div_round(va * p10(sb), vb, true); break;
      case kBinCopy: r = sa >= sb ? vb * p10(sa - sb) : div_round(vb, p10(sb - sa), true); break;
    }
    if (ka == kBinUnsigned ? (r < 0 || r > 0xFFFFFFFFLL) : (r < INT32_MIN || r > INT32_MAX)) has = false;
    int32_t got = a;
    int ok = bin_math(&got, b, op, sb, kb, sa, ka);
    bool match = has ? (ok == 1 && got == int32_t(uint32_t(uint64_t(r)))) : (ok == 0 && got == a);
    if (!match)
      return AssertionFailure() << "bin_math op " << op << " a " << str(va) << "@" << sa << " b " << str(vb) << "@"
                                << sb << ": " << ok << " " << got << " want " << (has ? str(r) : "failure");
    return AssertionSuccess();
  });
}

// Every scale pair 0..31, against GMP: aligning the operands of a sum can
// need 41 digits, which neither the packed work values nor 128 bits hold.
TEST_F(Pd, BinMathMatchesGmpAtEveryScale) {
  mpz_t x, y, p, q, r, lo, hi;
  mpz_inits(x, y, p, q, r, lo, hi, nullptr);
  mpz_set_si(lo, INT32_MIN);
  mpz_set_si(hi, INT32_MAX);
  // Half away from zero: round(num / den), den > 0.
  auto round_div = [&](mpz_t out, const mpz_t num, const mpz_t den) {
    mpz_t rem, twice;
    mpz_inits(rem, twice, nullptr);
    mpz_tdiv_qr(out, rem, num, den);
    mpz_abs(rem, rem);
    mpz_mul_2exp(twice, rem, 1);
    if (mpz_cmp(twice, den) >= 0) {
      if (mpz_sgn(num) < 0) mpz_sub_ui(out, out, 1);
      else mpz_add_ui(out, out, 1);
    }
    mpz_clears(rem, twice, nullptr);
  };
  auto set_i128 = [](mpz_t z, i128 v) {
    std::string s = str(v);
    mpz_set_str(z, s.c_str(), 10);
  };
  int wide = 0;
  sweep(17, cases(), false, [&](Gen& g, uint64_t) {
    int op = g.coin(3) ? g.range(3, 5) : g.range(1, 2);
    int sa = g.range(0, 31), sb = g.range(0, 31);
    if (g.coin(4)) sb = std::min(31, sa + g.range(0, 12));
    int ka = g.coin(3) ? kBinUnsigned : 1, kb = g.coin(3) ? kBinUnsigned : 1;
    int32_t a = int32_t(uint32_t(g.rng()()));
    int32_t b = int32_t(uint32_t(g.rng()()));
    if (g.coin(2)) a = int32_t(g.value(g.range(1, 9)));
    if (g.coin(2)) b = int32_t(g.value(g.range(1, 9)));
    if (g.coin(20)) b = 0;
    if (g.coin(20)) a = 0;
    i128 va = ka == kBinUnsigned ? i128(uint32_t(a)) : i128(a);
    i128 vb = kb == kBinUnsigned ? i128(uint32_t(b)) : i128(b);
    set_i128(x, va);
    set_i128(y, vb);
    bool has = true;
    int s = std::max(sa, sb);
    switch (op) {
      case kBinAdd:
      case kBinSub:
        if (std::abs(sa - sb) > 21) ++wide;  // aligned operands past 31 digits
        mpz_ui_pow_ui(p, 10, unsigned(s - sa));
        mpz_mul(q, x, p);
        mpz_ui_pow_ui(p, 10, unsigned(s - sb));
        mpz_mul(r, y, p);
        if (op == kBinAdd) mpz_add(q, q, r);
        else mpz_sub(q, q, r);
        mpz_ui_pow_ui(p, 10, unsigned(s - sa));
        round_div(r, q, p);
        break;
      case kBinMul:
        mpz_mul(q, x, y);
        mpz_ui_pow_ui(p, 10, unsigned(sb));
        round_div(r, q, p);
        break;
      case kBinDiv:
        has = vb != 0;
        if (has) {
          mpz_ui_pow_ui(p, 10, unsigned(sb));
          mpz_mul(q, x, p);
          mpz_abs(p, y);
          round_div(r, q, p);
          if (mpz_sgn(y) < 0) mpz_neg(r, r);
        }
        break;
      case kBinCopy:
        if (sa >= sb) {
          mpz_ui_pow_ui(p, 10, unsigned(sa - sb));
          mpz_mul(r, y, p);
        } else {
          mpz_ui_pow_ui(p, 10, unsigned(sb - sa));
          round_div(r, y, p);
        }
        break;
    }
    i128 want = 0;
    if (has) {
      if (ka == kBinUnsigned) has = mpz_sgn(r) >= 0 && mpz_cmp_ui(r, 0xFFFFFFFFu) <= 0;
      else has = mpz_cmp(r, lo) >= 0 && mpz_cmp(r, hi) <= 0;
      if (has) want = ka == kBinUnsigned ? i128(mpz_get_ui(r)) : i128(mpz_get_si(r));
    }
    int32_t got = a;
    int ok = bin_math(&got, b, op, sb, kb, sa, ka);
    bool match = has ? (ok == 1 && got == int32_t(uint32_t(uint64_t(want)))) : (ok == 0 && got == a);
    if (!match) {
      char buf[200];
      mpz_get_str(buf, 10, r);
      return AssertionFailure() << "bin_math op " << op << " a " << str(va) << "@" << sa << " b " << str(vb) << "@"
                                << sb << ": " << ok << " " << got << " want "
                                << (has ? str(want) : std::string("failure ") + buf);
    }
    return AssertionSuccess();
  });
  EXPECT_GT(wide, 0);
  mpz_clears(x, y, p, q, r, lo, hi, nullptr);
}

// Invalid values anywhere in a value are refused by every operation.
TEST_F(Pd, InvalidNibblesAreRefused) {
  sweep(12, cases() / 10 + 1000, true, [&](Gen& g, uint64_t) {
    int len = g.len();
    Packed bad = enc(g.value_len(len), len), good = enc(1, len);
    g.spoil(bad.b, len);
    Packed t = good, before = good;
    EXPECT_EQ(pd_add(t.b, len, bad.b, len), 0);
    EXPECT_EQ(pd_sub(t.b, len, bad.b, len), 0);
    EXPECT_EQ(pd_mul(t.b, len, bad.b, len), 0);
    EXPECT_EQ(pd_div(t.b, len, bad.b, len, 0, 0), 0);
    EXPECT_EQ(pd_set(t.b, len, bad.b, len), 0);
    EXPECT_EQ(std::memcmp(t.b, before.b, sizeof t.b), 0);
    Packed u = bad;
    EXPECT_EQ(pd_add(u.b, len, good.b, len), 0);
    EXPECT_EQ(pd_mul(u.b, len, good.b, len), 0);
    EXPECT_EQ(pd_shft(u.b, len, 1), 0);
    EXPECT_EQ(pd_shftn(u.b, len, -1), 0);
    EXPECT_EQ(std::memcmp(u.b, bad.b, sizeof u.b), 0);
    EXPECT_EQ(pd_cmp(bad.b, len, good.b, len), kPdCmpInvalid);
    EXPECT_EQ(pd_cmp(good.b, len, bad.b, len), kPdCmpInvalid);
    EXPECT_EQ(SIG_DIGITS(bad.b, len, nullptr), -1);
    bool ok = true;
    EXPECT_EQ(pd_cvb(bad.b, len, &ok), 0);
    EXPECT_FALSE(ok);
    PdFloat blk{bad.b, len, 0};
    EXPECT_TRUE(std::isnan(pd_to_float(&blk)));
    if (len == 8) {
      EXPECT_EQ(pd_fast_add(t.b, bad.b), 0);
      EXPECT_EQ(pd_fast_cmp(bad.b, good.b), kPdCmpInvalid);
      EXPECT_EQ(pd_var_bin(bad.b), 0);
    }
    if (HasFailure()) return AssertionFailure() << "bad value " << hex(bad.b, len) << " len " << len;
    return AssertionSuccess();
  });
}

// The n leading bytes as a big-endian number, for every n up to 8 and
// every place, and nothing of the bytes around them.
TEST_F(Pd, BigEndianLoadsOfEveryLength) {
  uint8_t buf[24];
  for (int i = 0; i < 24; ++i) buf[i] = uint8_t(0x11 * (i % 15) + 7 * i);
  for (int at = 0; at < 16; ++at)
    for (int n = 0; n <= 8; ++n) {
      uint64_t want = 0;
      for (int i = 0; i < n; ++i) want = want << 8 | buf[at + i];
      EXPECT_EQ(pacdec::load_be(buf + at, n), want) << at << " " << n;
    }
}
// And the stores: the low n bytes of a word, big-endian, where load_be
// reads them back, the bytes on either side untouched.
TEST_F(Pd, BigEndianStoresOfEveryLength) {
  const uint64_t w = 0x8877665544332211ULL;
  for (int at = 0; at < 8; ++at)
    for (int n = 0; n <= 8; ++n) {
      uint8_t buf[24], want[24];
      std::memset(buf, 0xEE, sizeof buf);
      std::memset(want, 0xEE, sizeof want);
      for (int i = 0; i < n; ++i) want[at + i] = uint8_t(w >> (8 * (n - 1 - i)));
      pacdec::store_be(buf + at, w, n);
      EXPECT_EQ(std::memcmp(buf, want, sizeof buf), 0) << at << " " << n;
    }
}

// Fifteen digits and a sign nibble as the bytes to store, against the
// digits written out one by one: 0, each power of ten and one below it up
// to 10^15 - 1, the group boundaries of the conversion, and random values.
TEST_F(Pd, FifteenDigitWordsMatchTheirDigits) {
  std::mt19937_64 rng(42);
  std::vector<uint64_t> ns = {0};
  for (uint64_t p = 1; p <= 1000000000000000ULL; p *= 10) ns.insert(ns.end(), {p - 1, p, p + 1});
  ns.pop_back();
  ns.pop_back();  // (10^15 and one past: 16 digits)
  for (uint64_t g : {999ULL, 1000ULL, 9999999ULL, 10000000ULL, 99999999999ULL, 100000000000ULL})
    ns.insert(ns.end(), {g, g * 1000 + 999});
  for (int i = 0; i < 20000; ++i) ns.push_back(rng() % 1000000000000000ULL >> (rng() % 50));
  for (uint64_t n : ns) {
    ASSERT_LT(n, 1000000000000000ULL);
    for (uint64_t sign : {0xCULL, 0xDULL, 0xFULL}) {
      uint8_t want[8];
      uint64_t v = n;
      want[7] = uint8_t((v % 10) << 4 | sign);
      v /= 10;
      for (int i = 6; i >= 0; --i, v /= 100) want[i] = uint8_t((v / 10 % 10) << 4 | v % 10);
      uint64_t got = pacdec::bcd_mem_signed(n, sign);
      EXPECT_EQ(std::memcmp(&got, want, 8), 0) << n << " " << sign;
    }
  }
}

// The 64-bit codec of 1-8 bytes against the digits written out one by one
// (zero, the largest value of each length, negatives, random values), and
// over random bytes, invalid ones too, against decode.
TEST_F(Pd, ShortValuesIn64BitsMatchTheirDigits) {
  std::mt19937_64 rng(7);
  for (int len = 1; len <= 8; ++len) {
    const int64_t lim = int64_t(pacdec::limit(len));
    std::vector<int64_t> vs = {0, 1, -1, lim - 1, 1 - lim, lim / 10, -(lim / 10)};
    for (int i = 0; i < 2000; ++i) vs.push_back(int64_t(rng() % uint64_t(lim)) * (rng() & 1 ? -1 : 1));
    for (int64_t v : vs) {
      uint8_t want[8] = {}, got[10];
      uint64_t m = uint64_t(v < 0 ? -v : v);
      for (int i = len - 1; i >= 0; --i) {  // the last byte a digit and the sign
        uint64_t lo = i == len - 1 ? (v < 0 ? com.pd_neg : com.pd_pos) : m % 10;
        if (i != len - 1) m /= 10;
        want[i] = uint8_t((m % 10) << 4 | lo);
        m /= 10;
      }
      std::memset(got, 0xEE, sizeof got);
      pacdec::encode64(got + 1, len, v);
      EXPECT_EQ(std::memcmp(got + 1, want, size_t(len)), 0) << len << " " << v;
      EXPECT_TRUE(got[0] == 0xEE && got[len + 1] == 0xEE) << len << " " << v;
      int64_t back = 0;
      EXPECT_TRUE(pacdec::decode64(want, len, back)) << len << " " << v;
      EXPECT_EQ(back, v);
    }
    for (int i = 0; i < 4000; ++i) {
      uint8_t b[8];
      uint64_t r = rng();
      std::memcpy(b, &r, 8);
      if (i & 1) {  // digits; the sign nibble one of the pair or not
        for (uint8_t& x : b) x = uint8_t((x >> 4) % 10 << 4 | (x & 15) % 10);
        static const uint8_t kSigns[4] = {0xC, 0xD, 0xF, 0xE};
        b[len - 1] = uint8_t((b[len - 1] & 0xF0) | kSigns[rng() % 4]);
      }
      u128 mag;
      bool neg;
      int64_t v;
      bool ok = pacdec::decode(b, len, mag, neg);
      ASSERT_EQ(pacdec::decode64(b, len, v), ok) << len << " " << i;
      if (ok) {
        EXPECT_EQ(v, neg ? -int64_t(mag) : int64_t(mag));
      }
    }
  }
}

TEST_F(Pd, BadLengthsAreRefused) {
  uint8_t a[16], b[16];
  pd_cvp(a, 16, 5);
  pd_cvp(b, 16, 7);
  for (int len : {0, -1, 17, 100, INT32_MIN}) {
    EXPECT_EQ(pd_add(a, len, b, 16), 0) << len;
    EXPECT_EQ(pd_add(a, 16, b, len), 0) << len;
    EXPECT_EQ(pd_sub(a, len, b, 8), 0);
    EXPECT_EQ(pd_mul(a, 8, b, len), 0);
    EXPECT_EQ(pd_div(a, len, b, 16, 0, 0), 0);
    EXPECT_EQ(pd_set(a, len, b, 16), 0);
    EXPECT_EQ(pd_set(a, 16, b, len), 0);
    EXPECT_EQ(pd_cmp(a, len, b, 16), kPdCmpInvalid);
    EXPECT_EQ(pd_shft(a, len, 1), 0);
    EXPECT_EQ(pd_cvp(a, len, 1), 0);
    EXPECT_EQ(SIG_DIGITS(a, len, nullptr), -1);
    PdCva out{a, len, 0};
    EXPECT_EQ(pd_cva("1", 1, '.', &out), 0);
  }
  EXPECT_EQ(pd_div(a, 16, b, 16, -1, 0), 0);
  EXPECT_EQ(pd_div(a, 16, b, 16, 32, 0), 0);
  // Scale 31 is the limit and 32 past it, also where the quotient would fit.
  uint8_t big[16];
  ASSERT_EQ(pd_cvp(big, 16, 1), 1);
  ASSERT_EQ(pd_shft(big, 16, 30), 1);  // 10^30
  EXPECT_EQ(pd_div(a, 16, big, 16, 32, 0), 0);
  EXPECT_EQ(pd_cvb(a, 16), 5);
  EXPECT_EQ(pd_div(a, 16, big, 16, 31, 0), 1);
  EXPECT_EQ(pd_cvb(a, 16), 50);
  EXPECT_EQ(bin_math(nullptr, 1, kBinAdd, 0, 1, 0, 1), 0);
  int32_t x = 5;
  EXPECT_EQ(bin_math(&x, 1, 6, 0, 1, 0, 1), 0);
  EXPECT_EQ(bin_math(&x, 1, 0, 0, 1, 0, 1), 0);
  EXPECT_EQ(x, 5);
}

// --------------------------------------------------- decisions and callers --
TEST_F(Pd, RoundingIsHalfAwayFromZeroAndTruncationTowardZero) {
  auto shifted = [](int32_t v, int n, bool round) {
    uint8_t p[8];
    pd_cvp(p, 8, v);
    EXPECT_EQ(round ? pd_shft(p, 8, n) : pd_shftn(p, 8, n), 1);
    return pd_cvb(p, 8);
  };
  EXPECT_EQ(shifted(25, -1, true), 3);
  EXPECT_EQ(shifted(-25, -1, true), -3);
  EXPECT_EQ(shifted(-24, -1, true), -2);
  EXPECT_EQ(shifted(-25, -1, false), -2);
  EXPECT_EQ(shifted(-29, -1, false), -2);
  EXPECT_EQ(shifted(149, -2, true), 1);   // 1.49 -> 1, not 2 by double rounding
  EXPECT_EQ(shifted(150, -2, true), 2);
  EXPECT_EQ(shifted(-4, -1, true), 0);    // and the zero is the positive one
  uint8_t p[8];
  pd_cvp(p, 8, -4);
  pd_shft(p, 8, -1);
  EXPECT_EQ(std::memcmp(p, com.pd_zero.b, 8), 0);

  auto divide = [](int32_t a, int32_t b, int scale, int round) {
    uint8_t x[16], y[4];
    pd_cvp(x, 16, a);
    pd_cvp(y, 4, b);
    EXPECT_EQ(pd_div(x, 16, y, 4, scale, round), 1);
    return pd_cvb(x, 16);
  };
  EXPECT_EQ(divide(7, 2, 0, 0), 3);
  EXPECT_EQ(divide(-7, 2, 0, 0), -3);
  EXPECT_EQ(divide(-7, 2, 0, 1), -4);
  EXPECT_EQ(divide(7, -2, 0, 1), -4);
  EXPECT_EQ(divide(2, 3, 4, 1), 6667);
  EXPECT_EQ(divide(-2, 3, 4, 0), -6666);
  uint8_t x[8], zero[8];
  pd_cvp(x, 8, 1);
  pd_cvp(zero, 8, 0);
  EXPECT_EQ(pd_div(x, 8, zero, 8, 0, 0), 0);
  EXPECT_EQ(pd_cvb(x, 8), 1);
}

// The long division (more digits than 128 bits hold for a * 10^scale):
// 10^30 / 10^30 at scale 8 is 10^8; 34028237 / 1 at scale 31 is 3.4028237
// x 10^38, past 128 bits, refused (wrapped it would leave 3.08 x 10^30).
TEST_F(Pd, LongDivisionRefusesAQuotientPast128Bits) {
  Packed a = enc(p10(30), 16), b = enc(p10(30), 16);
  ASSERT_EQ(pd_div(a.b, 16, b.b, 16, 8, 0), 1);
  EXPECT_EQ(dec(a.b, 16), p10(8));
  a = enc(34028237, 16);
  b = enc(1, 1);
  Packed before = a;
  EXPECT_EQ(pd_div(a.b, 16, b.b, 1, 31, 0), 0);
  EXPECT_EQ(std::memcmp(a.b, before.b, 16), 0);
}

TEST_F(Pd, ZeroIsPositiveAndHasNoSignificantDigits) {
  uint8_t a[16], b[16];
  pd_cvp(a, 8, -5);
  pd_cvp(b, 8, 5);
  ASSERT_EQ(pd_add(a, 8, b, 8), 1);
  EXPECT_EQ(std::memcmp(a, com.pd_zero.b, 8), 0);
  pd_cvp(a, 8, -5);
  ASSERT_EQ(pd_mul(a, 8, com.pd_zero.b, 8), 1);
  EXPECT_EQ(std::memcmp(a, com.pd_zero.b, 8), 0);
  // A negative zero read from a field compares equal and is set positive.
  uint8_t negzero[8];
  std::memcpy(negzero, com.pd_zero.b, 8);
  negzero[7] = uint8_t((negzero[7] & 0xF0) | com.pd_neg);
  EXPECT_EQ(pd_cmp(negzero, 8, com.pd_zero.b, 8), 0);
  EXPECT_EQ(pd_cmp(negzero, 8, com.pd_zero16.b, 16), 0);
  ASSERT_EQ(pd_set(b, 16, negzero, 8), 1);
  EXPECT_EQ(std::memcmp(b, com.pd_zero16.b, 16), 0);
  int count = -1;
  EXPECT_EQ(SIG_DIGITS(com.pd_zero16.b, 16, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(SIG_DIGITS(com.pd_day_hundredths.b, 8, &count), 7);
}

TEST_F(Pd, CommonBlockConstants) {
  EXPECT_EQ(dec(com.pd_day_hundredths.b, 8), i128(8640000));
  EXPECT_EQ(dec(com.pd_minus_one.b, 8), i128(-1));
  EXPECT_EQ(pd_cvb(com.pd_minus_one.b, 8), -1);
  EXPECT_EQ(pd_cvb(com.pd_zero.b, 8), 0);
  EXPECT_EQ(pd_cvb(com.pd_one.b, 8), 1);
  EXPECT_EQ(pd_cvb(com.pd_day_hundredths.b, 8), 8640000);
  EXPECT_EQ(pd_cmp(com.pd_zero16.b, 16, com.pd_zero.b, 8), 0);
  EXPECT_EQ(pd_fast_cmp(com.pd_minus_one.b, com.pd_one.b), -1);
  // Hundredths between two times a day apart, by the hour factor.
  uint8_t v[16];
  ASSERT_EQ(pd_set(v, 16, com.pd_day_hundredths.b, 8), 1);
  uint8_t f[8];
  pd_cvp(f, 8, 360000);
  ASSERT_EQ(pd_div(v, 16, f, 8, 0, 0), 1);
  EXPECT_EQ(pd_cvb(v, 16), 24);
}

TEST_F(Pd, ResultsUseTheConfiguredSignPair) {
  com.pd_pos = 0xF;
  com.pd_neg = 0xB;
  uint8_t a[3] = {0x00, 0x12, 0x3F};  // +123
  uint8_t b[2] = {0x50, 0x0B};        // -500
  ASSERT_EQ(pd_add(a, 3, b, 2), 1);
  EXPECT_EQ(a[0], 0x00);
  EXPECT_EQ(a[1], 0x37);
  EXPECT_EQ(a[2], 0x7B);              // -377
  // A value written under the default pair is not a value under this one.
  uint8_t c[2] = {0x00, 0x1C};
  EXPECT_EQ(pd_add(a, 3, c, 2), 0);
  EXPECT_EQ(pd_cmp(a, 3, c, 2), kPdCmpInvalid);
}

TEST_F(Pd, SameOperandOnBothSides) {
  uint8_t a[16];
  for (int len : {4, 8, 12, 16}) {
    ASSERT_EQ(pd_cvp(a, len, -1234567), 1);
    ASSERT_EQ(pd_mul(a, len, a, len), len >= 7 ? 1 : 0) << len;
    if (len >= 7) {
      EXPECT_EQ(pd_cmp(a, len, a, len), 0);
    }
    pd_cvp(a, len, 42);
    ASSERT_EQ(pd_sub(a, len, a, len), 1);
    EXPECT_EQ(pd_cvb(a, len), 0);
    pd_cvp(a, len, 42);
    ASSERT_EQ(pd_div(a, len, a, len, 0, 0), 1);
    EXPECT_EQ(pd_cvb(a, len), 1);
  }
  uint8_t t[9] = {};
  pd_cvp(t, 8, -77);
  pd_fast_set(t + 1, t);  // overlapping copy keeps the bytes
  uint8_t w[8];
  pd_cvp(w, 8, -77);
  EXPECT_EQ(std::memcmp(t + 1, w, 8), 0);
}

TEST_F(Pd, TextConversionEdges) {
  uint8_t v[9];
  PdCva out{v, 8, -1};
  auto cva = [&](const char* s) { return pd_cva(s, int(std::strlen(s)), '.', &out); };
  ASSERT_EQ(cva("   "), 1);
  EXPECT_EQ(out.scale, 0);
  EXPECT_EQ(std::memcmp(v, com.pd_zero.b, 8), 0);
  ASSERT_EQ(cva(""), 1);
  ASSERT_EQ(cva(" -1.50 "), 1);
  EXPECT_EQ(out.scale, 2);
  EXPECT_EQ(pd_cvb(v, 8), -150);
  ASSERT_EQ(cva("-0.00"), 1);
  EXPECT_EQ(std::memcmp(v, com.pd_zero.b, 8), 0);
  ASSERT_EQ(cva("12."), 1);
  EXPECT_EQ(out.scale, 0);
  ASSERT_EQ(cva(".5"), 1);
  EXPECT_EQ(out.scale, 1);
  EXPECT_EQ(pd_cvb(v, 8), 5);
  ASSERT_EQ(cva("000000000000000000000123456789012345"), 1);  // leading zeros are free
  ASSERT_EQ(cva("1234567890123456"), 0);                      // 16 digits in 15
  std::string limit = "." + std::string(30, '0') + "1", past = "." + std::string(31, '0') + "1";
  ASSERT_EQ(cva(limit.c_str()), 1);                            // 31 decimals, then 32
  EXPECT_EQ(out.scale, 31);
  EXPECT_EQ(pd_cvb(v, 8), 1);
  EXPECT_EQ(cva(past.c_str()), 0);
  for (const char* bad : {"-", ".", "+-1", "1-2", "1.2.3", "1 2", "--1", "1e5", "-1-", "12a"})
    EXPECT_EQ(cva(bad), 0) << bad;
}

TEST_F(Pd, VariablePackedIntegerPart) {
  uint8_t var[9];
  pd_cvp(var, 8, -12345);
  var[8] = 2;
  EXPECT_EQ(pd_var_bin(var), -123);
  var[8] = uint8_t(int8_t(-3));
  EXPECT_EQ(pd_var_bin(var), -12345000);
  var[8] = uint8_t(int8_t(-6));
  EXPECT_EQ(pd_var_bin(var), INT32_MIN);
  var[8] = 200;  // scale byte -56
  EXPECT_EQ(pd_var_bin(var), INT32_MIN);
  // Every scale byte, on zero and on a value: nothing outside the table of
  // powers is read (the sanitizer build checks).
  for (int sb = 0; sb < 256; ++sb) {
    uint8_t z[9], v[9];
    pd_cvp(z, 8, 0);
    pd_cvp(v, 8, 7);
    z[8] = v[8] = uint8_t(sb);
    int s = int8_t(uint8_t(sb));
    EXPECT_EQ(pd_var_bin(z), 0) << s;
    int32_t want = s > 0 ? 0 : s == 0 ? 7 : s >= -8 ? 7 * int32_t(p10(-s)) : INT32_MAX;
    EXPECT_EQ(pd_var_bin(v), want) << s;
  }
  // 15 digits at scale -10 whose product with 10^10 is past 2^64 but, taken
  // modulo 2^64, a small number: still past the word's range.
  uint64_t inv = 1, f = 9765625;  // 5^10, and its inverse modulo 2^54
  for (int i = 0; i < 6; ++i) inv *= 2 - f * inv;
  bool found = false;
  for (uint64_t t = 1; t < (1 << 20) && !found; ++t) {
    uint64_t m = (t * inv) & ((uint64_t(1) << 54) - 1);  // m x 5^10 = t (mod 2^54): m x 10^10 = 1024 t (mod 2^64)
    if (m == 0 || m >= 1000000000000000ULL) continue;
    ASSERT_EQ(m * 10000000000ULL, 1024 * t);  // (the wrap the test wants)
    ASSERT_EQ(pd_cvp64(var, 8, int64_t(m)), 1);
    var[8] = uint8_t(int8_t(-10));
    EXPECT_EQ(pd_var_bin(var), INT32_MAX) << m;
    found = true;
  }
  EXPECT_TRUE(found);
}

TEST_F(Pd, FloatConversionEdges) {
  uint8_t v[16];
  PdFloat b{v, 16, 15};
  EXPECT_EQ(pd_from_float(&b, std::nan("")), 0);
  EXPECT_EQ(pd_from_float(&b, INFINITY), 0);
  EXPECT_EQ(pd_from_float(&b, 1e16), 0);          // 32 digits at scale 15
  ASSERT_EQ(pd_from_float(&b, 9.5e15), 1);        // 31 digits fit
  PdFloat fine{v, 16, 31};  // 31 decimals: the text path, and enough to read back
  ASSERT_EQ(pd_from_float(&fine, 2.0 / 3.0), 1);
  EXPECT_EQ(pd_to_float(&fine), 2.0 / 3.0);
  ASSERT_EQ(pd_from_float(&b, -0.0), 1);
  EXPECT_EQ(std::memcmp(v, com.pd_zero16.b, 16), 0);
  PdFloat r{v, 8, 0};
  ASSERT_EQ(pd_from_float(&r, -2.5), 1);
  EXPECT_EQ(pd_cvb(v, 8), -3);
  ASSERT_EQ(pd_from_float(&r, 2.4999999999999996), 1);
  EXPECT_EQ(pd_cvb(v, 8), 2);
}

TEST_F(Pd, BinMathScalesAndKinds) {
  int32_t a = 150;  // 1.50
  ASSERT_EQ(bin_math(&a, 25, kBinAdd, 1, 1, 2, 1), 1);  // + 2.5
  EXPECT_EQ(a, 400);
  a = 7;
  ASSERT_EQ(bin_math(&a, 2, kBinDiv, 0, 1, 0, 1), 1);
  EXPECT_EQ(a, 4);  // 3.5 rounds half away from zero
  a = -7;
  ASSERT_EQ(bin_math(&a, 2, kBinDiv, 0, 1, 0, 1), 1);
  EXPECT_EQ(a, -4);
  a = 5;
  EXPECT_EQ(bin_math(&a, 0, kBinDiv, 0, 1, 0, 1), 0);
  EXPECT_EQ(a, 5);
  a = int32_t(4000000000u);  // unsigned word
  ASSERT_EQ(bin_math(&a, 1, kBinAdd, 0, 1, 0, kBinUnsigned), 1);
  EXPECT_EQ(uint32_t(a), 4000000001u);
  a = int32_t(4000000000u);
  EXPECT_EQ(bin_math(&a, 1, kBinAdd, 0, 1, 0, 1), 1);  // signed: -294967296 + 1
  EXPECT_EQ(a, -294967295);
  a = 1;
  EXPECT_EQ(bin_math(&a, 2, kBinSub, 0, 1, 0, kBinUnsigned), 0);  // negative unsigned
  a = 0;
  ASSERT_EQ(bin_math(&a, -1, kBinCopy, 0, kBinUnsigned, 0, kBinUnsigned), 1);
  EXPECT_EQ(uint32_t(a), 0xFFFFFFFFu);
  a = INT32_MAX;
  EXPECT_EQ(bin_math(&a, 1, kBinAdd, 0, 1, 0, 1), 0);
  EXPECT_EQ(a, INT32_MAX);
  // Sums whose aligned operands need more than 31 digits.
  a = 1;
  ASSERT_EQ(bin_math(&a, 1, kBinAdd, 31, 1, 0, 1), 1);  // 1 + 10^-31 at scale 0
  EXPECT_EQ(a, 1);
  a = 2000000000;
  ASSERT_EQ(bin_math(&a, 5, kBinSub, 22, 1, 0, 1), 1);  // - 5 x 10^-22
  EXPECT_EQ(a, 2000000000);
  a = 0;
  ASSERT_EQ(bin_math(&a, 5, kBinAdd, 1, 1, 0, 1), 1);  // 0.5 rounds half away from zero
  EXPECT_EQ(a, 1);
  a = 1;
  ASSERT_EQ(bin_math(&a, 15, kBinSub, 1, 1, 0, 1), 1);  // 1 - 1.5 = -0.5 -> -1
  EXPECT_EQ(a, -1);
  a = 0;
  ASSERT_EQ(bin_math(&a, 0, kBinAdd, 0, 1, 31, 1), 1);  // a zero at any scale
  EXPECT_EQ(a, 0);
  a = 7;
  EXPECT_EQ(bin_math(&a, 1, kBinAdd, 0, 1, 31, 1), 0);  // 1 at a's scale 31 passes the range
  EXPECT_EQ(a, 7);
}
