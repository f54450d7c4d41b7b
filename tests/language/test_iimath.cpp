// CALC and COMPUTE on hand-assembled code against an evaluator on GMP
// rationals that restates the arithmetic's rules: 31 digits, the multiply's
// truncation of operand decimals, 15 decimals then 15 significant digits
// after a division (through double: a quotient within double precision of a
// rounding boundary may differ, and is counted), store rounding half away
// from zero, and the range of every target. A failure must leave the target
// unchanged and go on at the OVERFLOW label. QUVO_II_SEED sets the seed,
// QUVO_II_CASES the number of cases.
#include <gmpxx.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "language/ii2_fix.h"

namespace {

using Z = mpz_class;
using Q = mpq_class;

Z p10(int n) {
  Z r;
  mpz_ui_pow_ui(r.get_mpz_t(), 10, unsigned(n));
  return r;
}
int ndig(const Z& m) {
  if (m == 0) return 0;
  Z a = abs(m);
  return int(a.get_str().size());
}
Z round_q(const Q& q) {  // half away from zero
  Q a = abs(q) + Q(1, 2);
  Z r = a.get_num() / a.get_den();
  return q < 0 ? Z(-r) : r;
}
Z round_div(const Z& m, int n) { return n <= 0 ? Z(m * p10(-n)) : round_q(Q(m, p10(n))); }
Z trunc_div(const Z& m, int n) {
  Z r;
  mpz_tdiv_q(r.get_mpz_t(), m.get_mpz_t(), p10(n).get_mpz_t());
  return r;
}

// A value: mantissa and scale.
struct V {
  Z m;
  int s = 0;
  bool ok = true;
  bool unsure = false;  // a quotient near a rounding boundary on the way
};
V fail() {
  V v;
  v.ok = false;
  return v;
}

void limit15(V& v, bool trim) {
  for (int pass = 0; pass < 2; ++pass) {
    int d = ndig(v.m);
    if (d <= 15) break;
    int n = std::min(d - 15, v.s);
    if (n == 0) break;
    v.m = round_div(v.m, n);
    v.s -= n;
  }
  if (trim)
    while (v.s > 0 && v.m % 10 == 0) {
      v.m /= 10;
      --v.s;
    }
}

V from_quotient(const Q& q) {
  if (abs(q) >= Q(p10(17))) return fail();
  V v;
  v.s = 15;
  while (abs(round_q(q * Q(p10(v.s)))) >= p10(31)) --v.s;
  v.m = round_q(q * Q(p10(v.s)));
  limit15(v, true);
  return v;
}
// The CALC store into a calculation variable: the 15 highest digits,
// rounded, the scale going below 0 as integer digits go.
void calc_limit15(V& v) {
  for (int pass = 0; pass < 2; ++pass) {
    int d = ndig(v.m);
    if (d <= 15) break;
    v.m = round_div(v.m, d - 15);
    v.s -= d - 15;
  }
}

// A value as the failures print it: mantissa "e-" scale, or the error.
std::string vstr(const V& v) { return v.ok ? v.m.get_str() + "e-" + std::to_string(v.s) : "300540"; }
bool same(const V& a, const V& b) { return a.ok == b.ok && (!a.ok || (a.m == b.m && a.s == b.s)); }
// A failure computed from an unsure value is unsure too: the engine's other
// last digit may have let the operation through (or stopped it).
V fail(bool unsure) {
  V v = fail();
  v.unsure = unsure;
  return v;
}

V divide(const V& a, const V& b) {
  if (b.m == 0) return fail(a.unsure || b.unsure);
  Q q = Q(a.m, p10(a.s)) / Q(b.m, p10(b.s));
  V r = from_quotient(q);
  Q eps(1, Z(1) << 50);
  V lo = from_quotient(q * (1 - eps)), hi = from_quotient(q * (1 + eps));
  r.unsure = a.unsure || b.unsure || !same(r, lo) || !same(r, hi);
  return r;
}

// Add and subtract bring both operands to the larger scale and fail (300540)
// when an aligned operand or the result needs more than 31 digits; no digit
// is dropped to make room. (The foundation's bin_math, whose operands are
// 32-bit words, always aligns within its exact 128-bit work; the packed
// operands here may already hold 31 digits, so an alignment past 31 digits
// has no exact packed result, and the arithmetic is exact or refused.)
bool align(V& a, V& b) {
  int s = std::max(a.s, b.s);
  a.m *= p10(s - a.s);
  b.m *= p10(s - b.s);
  a.s = b.s = s;
  return ndig(a.m) <= 31 && ndig(b.m) <= 31;
}

V add(V a, V b, bool sub) {
  bool unsure = a.unsure || b.unsure;
  if (!align(a, b)) return fail(unsure);
  a.m = sub ? Z(a.m - b.m) : Z(a.m + b.m);
  if (ndig(a.m) > 31) return fail(unsure);
  a.unsure = unsure;
  return a;
}

V mul(V a, V b) {
  bool unsure = a.unsure || b.unsure;
  int d1 = ndig(a.m), d2 = ndig(b.m);
  auto drop = [](V& v, int n) {
    v.m = trunc_div(v.m, n);
    v.s -= n;
  };
  if (d1 + d2 > 31) {
    if (d1 > 15) {
      drop(a, std::min(d1 - 15, a.s));
      d1 = ndig(a.m);
    }
    if (d1 + d2 > 31) {
      drop(b, std::min(b.s, d1 + d2 - 15));
      d2 = ndig(b.m);
    }
    while (d1 + d2 >= 32) {
      if (a.s > 0) {
        drop(a, 1);
        d1 = ndig(a.m);
      } else if (b.s > 0) {
        drop(b, 1);
        d2 = ndig(b.m);
      } else {
        return fail(unsure);
      }
    }
  }
  V r;
  r.m = a.m * b.m;
  r.s = a.s + b.s;
  while (r.s > 0 && r.m % 10 == 0) {
    r.m /= 10;
    --r.s;
  }
  if (r.s > 31) {
    r.m = round_div(r.m, r.s - 31);
    r.s = 31;
  }
  r.unsure = unsure;
  return r;
}

// --------------------------------------------------------- storage --
struct Form {
  uint8_t type;   // 5, 8, 12
  uint8_t len;
  uint8_t scale;  // binary and fixed; a variable packed value carries its own
  bool sg;
};

std::string form_str(const Form& f) {
  return std::to_string(f.type) + "/" + std::to_string(f.len) + "/" + std::to_string(f.scale) + (f.sg ? "s" : "u");
}

void pack(uint8_t* p, int len, const Z& m) {
  Z a = abs(m);
  std::string d = a.get_str();
  int n = 2 * len - 1;
  std::string all(size_t(n) - std::min<size_t>(d.size(), size_t(n)), '0');
  all += d;
  for (int i = 0; i < len; ++i) {
    int hi = all[size_t(2 * i)] - '0';
    int lo = i == len - 1 ? (m < 0 ? 0xD : 0xC) : all[size_t(2 * i + 1)] - '0';
    p[i] = uint8_t(hi << 4 | lo);
  }
}
Z unpack(const uint8_t* p, int len) {
  Z v = 0;
  for (int i = 0; i < len; ++i) {
    v = v * 10 + (p[i] >> 4);
    if (i < len - 1) v = v * 10 + (p[i] & 0xF);
  }
  return (p[len - 1] & 0xF) == 0xD ? Z(-v) : v;
}
int64_t bin_min(const Form& f) { return f.sg ? -(int64_t(1) << (8 * f.len - 1)) : 0; }
int64_t bin_max(const Form& f) {
  return f.sg ? (int64_t(1) << (8 * f.len - 1)) - 1 : (int64_t(1) << (8 * f.len)) - 1;
}
void store(uint8_t* p, const Form& f, const V& v) {
  if (f.type == 5) {
    uint32_t w = uint32_t(int64_t(v.m.get_si()));
    for (int i = 0; i < f.len; ++i) p[i] = uint8_t(w >> (8 * i));
  } else if (f.type == 8) {
    pack(p, f.len, v.m);
  } else {
    pack(p, 8, v.m);
    p[8] = uint8_t(v.s);
  }
}
V load(const uint8_t* p, const Form& f) {
  V v;
  if (f.type == 5) {
    int64_t x = 0;
    for (int i = 0; i < f.len; ++i) x |= int64_t(p[i]) << (8 * i);
    if (f.sg && (x >> (8 * f.len - 1)) & 1) x -= int64_t(1) << (8 * f.len);
    v.m = Z(std::to_string(x), 10);
    v.s = f.scale;
  } else if (f.type == 8) {
    v.m = unpack(p, f.len);
    v.s = f.scale;
  } else {
    v.m = unpack(p, 8);
    v.s = int8_t(p[8]);
  }
  return v;
}

struct Gen {
  std::mt19937_64 rng;
  uint64_t u(uint64_t n) { return n ? rng() % n : 0; }
  Z digits(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += char('0' + u(10));
    return n ? Z(s, 10) : Z(0);
  }
  Form form() {
    Form f{};
    switch (u(3)) {
      case 0: {
        static const uint8_t kSizes[3] = {1, 2, 4};
        f = {5, kSizes[u(3)], uint8_t(u(4)), u(2) == 0};
        break;
      }
      case 1: {
        uint8_t len = uint8_t(1 + u(16));
        f = {8, len, uint8_t(u(std::min(2 * len - 1, 31) + 1)), true};
        break;
      }
      default: f = {12, 9, 0, true};
    }
    return f;
  }
  V value(const Form& f) {
    V v;
    v.s = f.scale;
    if (f.type == 5) {
      int64_t lo = bin_min(f), hi = bin_max(f), x;
      switch (u(4)) {
        case 0: x = u(2) ? lo : hi; break;
        case 1: x = int64_t(u(200)) - (f.sg ? 100 : 0); break;
        default: x = lo + int64_t(u(uint64_t(hi - lo) + 1));
      }
      v.m = Z(std::to_string(x), 10);
    } else {
      int max = f.type == 8 ? 2 * f.len - 1 : 15;
      if (f.type == 12) v.s = int(u(16));
      v.m = digits(int(u(2) ? u(max + 1) : std::min<uint64_t>(max, u(4))));
      if (u(3) == 0) v.m = -v.m;
    }
    return v;
  }
};

IbNum num(const Form& f, const V& v) {
  IbNum n;
  n.type = f.type;
  n.len = f.len;
  n.scale = f.type == 12 ? uint8_t(v.s) : f.scale;
  n.is_signed = f.type == 5 ? f.sg : true;
  n.digits = f.type == 8 ? uint8_t(2 * f.len - 1 - f.scale) : f.type == 12 ? uint8_t(15 - v.s) : 0;
  return n;
}

bool no_neg_int = false;

// The store of a result into the target form.
V store_rule(V r, const Form& t, int tscale) {
  if (!r.ok) return r;
  if (t.type == 12) {
    limit15(r, false);
    if (ndig(r.m) > 15) return fail(r.unsure);
    return r;
  }
  if (tscale > r.s && ndig(r.m) + tscale - r.s > 31) return fail(r.unsure);
  r.m = round_div(r.m, r.s - tscale);
  r.s = tscale;
  if (t.type == 8) return ndig(r.m) <= 2 * t.len - 1 ? r : fail(r.unsure);
  int64_t lo = bin_min(t), hi = bin_max(t);
  if (no_neg_int && t.sg && t.len < 4) lo = 0;
  return r.m >= Z(std::to_string(lo), 10) && r.m <= Z(std::to_string(hi), 10) ? r : fail(r.unsure);
}

V bin_math_rule(const V& a, const V& b, char op, const Form& t) {
  Q x(a.m, p10(a.s)), y(b.m, p10(b.s)), q;
  switch (op) {
    case '+': q = x + y; break;
    case '-': q = x - y; break;
    case '*': q = x * y; break;
    default:
      if (b.m == 0) return fail();
      q = x / y;
  }
  V r;
  r.m = round_q(q * Q(p10(a.s)));
  r.s = a.s;
  Z lo = t.sg ? Z(INT32_MIN) : Z(0), hi = t.sg ? Z(INT32_MAX) : Z(4294967295u);
  if (r.m < lo || r.m > hi) return fail();
  return r;
}

// COMPUTE target op source, as the evaluator sees it.
V compute_rule(const Form& t, V a, const Form& sf, V b, char op, const std::string& alpha) {
  int ts = num(t, a).scale;
  if (t.type == 5 && sf.type == 5 && op != '1' && op != '2') return store_rule(bin_math_rule(a, b, op, t), t, ts);
  if (op == '1' || op == '2') {
    if (!alpha.empty()) {  // CNV_SRC: digits; a non-digit before the first counts 0
      std::string d;
      bool seen = false;
      for (char c : alpha.substr(0, 32)) {
        if (c >= '0' && c <= '9') d += c, seen = true;
        else if (!seen) d += '0';
        else break;
      }
      if (d.size() > 31) d = d.substr(d.size() - 31);
      b.m = d.empty() ? Z(0) : Z(d, 10);
      b.s = 0;
    }
    V r = add(a, b, op == '2');
    if (!r.ok) return r;
    if (r.s > ts) {
      r.m = round_div(r.m, r.s - ts);
      r.s = ts;
    }
    int n = num(t, a).digits + num(t, a).scale;
    if (n < 31) {
      Z mod;
      Z m = abs(r.m);
      mpz_tdiv_r(mod.get_mpz_t(), m.get_mpz_t(), p10(n).get_mpz_t());
      r.m = r.m < 0 ? Z(-mod) : mod;
    }
    return store_rule(r, t, ts);
  }
  V r;
  switch (op) {
    case '+': r = add(a, b, false); break;
    case '-': r = add(a, b, true); break;
    case '*': r = mul(a, b); break;
    default: r = divide(a, b);
  }
  return store_rule(r, t, ts);
}

using ii2::cases;
using ii2::seed;

class IiMath : public ii2::Fix {
 protected:
  uint32_t ira_t = 0, ira_s = 0;
  uint8_t* tf = nullptr;
  uint8_t* sf = nullptr;
  void SetUp() override {
    Fix::SetUp();
    tf = field(32, &ira_t);
    sf = field(40, &ira_s);
  }
  // Emits COMPUTE with an OVERFLOW trap that flags 1; false when the
  // builder refused the operation.
  bool compute(const IbNum& t, const IbNum& s, char op) {
    restart();
    uint8_t* ov = bld_overflow(&m.code, ii2::no_code());
    bld_ira(&m.code, ira_t, 1);
    bld_ira(&m.code, ira_s, 2);
    if (!bld_compute(&m.code, t, s, op)) return false;
    end_trapped(ov);
    return true;
  }
};

TEST_F(IiMath, ComputeAndTotalMatchTheEvaluator) {
  Gen g{std::mt19937_64(seed())};
  long n = cases(100000) * 4 / 5, done = 0, refused = 0, fails = 0, unsure = 0, bad = 0;
  long by_op[6] = {};
  static const char kOps[6] = {'+', '-', '*', '/', '1', '2'};
  for (long i = 0; i < n && bad < 10; ++i) {
    Form t = g.form(), s = g.form();
    int opi = int(g.u(6));
    char op = kOps[opi];
    std::string alpha;
    V a = g.value(t), b = g.value(s);
    IbNum sn = num(s, b);
    if ((op == '1' || op == '2') && g.u(4) == 0) {
      int len = int(1 + g.u(34));
      static const char kCh[] = "0123456789 -.A";
      for (int k = 0; k < len; ++k) alpha += kCh[g.u(sizeof kCh - 1)];
      sn.type = 1;
      sn.len = uint8_t(len);
    }
    no_neg_int = g.u(8) == 0;
    ii_math_set_switches(false, no_neg_int);
    if (!compute(num(t, a), sn, op)) {
      ++refused;
      continue;
    }
    std::memset(tf, 0x5A, 32);
    std::memset(sf, ' ', 40);
    store(tf, t, a);
    if (alpha.empty()) store(sf, s, b);
    else std::memcpy(sf, alpha.data(), alpha.size());
    uint8_t before[32];
    std::memcpy(before, tf, 32);
    ii2::flags().clear();
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    bool trapped = !ii2::flags().empty();
    V want = compute_rule(t, a, s, b, op, alpha);
    V got = trapped ? fail() : load(tf, t);
    if (t.type != 12 && got.ok) got.s = want.s;  // the scale is the field's
    ++done;
    ++by_op[opi];
    if (!want.ok) ++fails;
    bool match = same(got, want) && (got.ok || std::memcmp(before, tf, 32) == 0);
    if (!match && want.unsure) {
      ++unsure;
      continue;
    }
    if (!match) {
      ++bad;
      ADD_FAILURE() << "case " << i << ": " << form_str(t) << " " << a.m.get_str() << "e-" << a.s << " " << op << " "
                    << form_str(s) << " " << (alpha.empty() ? b.m.get_str() + "e-" + std::to_string(b.s) : "'" + alpha + "'")
                    << (no_neg_int ? " (no neg int)" : "") << ": want " << vstr(want)
                    << ", got " << vstr(got);
    }
  }
  std::printf("COMPUTE/TOTAL: %ld cases run (%ld refused at build), %ld failures (300540), %ld quotients at a rounding boundary; + %ld, - %ld, * %ld, / %ld, hash+ %ld, hash- %ld\n",
              done, refused, fails, unsure, by_op[0], by_op[1], by_op[2], by_op[3], by_op[4], by_op[5]);
  EXPECT_GT(done, n / 2);
}

// COMPUTE decides in 64 bits where it can: at the bounds of that path (a
// variable result of 15 digits and one past, a product at 31 decimals and
// 32, a fixed operand at scale 31 and 32, a fixed target's rounding of a
// half, zeros of either sign, fixed fields of 1-8 bytes at their largest
// value and one past, binary fields at the 32-bit limits and one past,
// quotients, a source whose bytes are no number) it leaves the same bytes
// and outcome as the instructions one by one (the trace on), and the
// evaluator's value.
TEST_F(IiMath, ComputeAtTheBoundsOfItsShortPathGivesWhatTheInstructionsGive) {
  struct Case {
    Form t;
    std::string a;  // digits; a variable value: "<digits>e-<scale>"
    Form s;
    std::string b;
    char op;
    bool bad = false;  // the source's first byte made no digits
  };
  const Form var{12, 9, 0, true};
  auto fix = [](int len, int scale) { return Form{8, uint8_t(len), uint8_t(scale), true}; };
  std::vector<Case> cases = {
      {var, "999999999999999e-0", var, "1e-0", '+'},          // 10^15: 300540
      {var, "999999999999998e-0", var, "1e-0", '+'},          // 15 digits
      {var, "-999999999999999e-0", var, "1e-0", '-'},
      {var, "999999999999999e-3", var, "1e-3", '+'},          // 16 digits at scale 3: a decimal dropped
      {var, "1e-16", var, "3e-16", '*'},                      // 32 decimals: rounded to 31
      {var, "1e-16", var, "3e-15", '*'},                      // 31
      {var, "5e-16", var, "5e-16", '*'},                      // 25 at 32 decimals: 3 at 31
      {var, "12e-1", var, "5e-1", '*'},                       // 0.60: 0.6
      {var, "-0e-0", var, "-0e-0", '+'},                      // negative zeros
      {var, "-0e-2", var, "7e-1", '*'},
      {fix(5, 0), "0", var, "25e-1", '+'},                    // 2.5 into scale 0: 3
      {fix(5, 0), "0", var, "-25e-1", '+'},                   // -3
      {fix(5, 0), "0", var, "249e-2", '+'},                   // 2
      {fix(2, 0), "99", var, "1e-0", '+'},                    // 100 into 2 bytes: 300540
      {fix(2, 0), "98", var, "1e-0", '+'},                    // 99
      {fix(8, 31), "1", var, "1e-0", '+'},                    // a fixed operand at scale 31
      {fix(8, 32), "1", var, "1e-0", '+'},                    // and at 32: 300540
      {var, "7e-0", fix(8, 32), "1", '+'},
      {fix(8, 0), "999999999999999", var, "1e-0", '+'},       // 10^15 into 8 bytes: 300540
      {fix(8, 32), "1", fix(8, 32), "1", '+'},
      // 19 digits 16 places down into scale 0: 900, and 1 (not 0)
      {fix(8, 0), "3000000001", var, "3000000001e-16", '*'},
      {fix(8, 0), "1", var, "999999999999999e-16", '+'},
      {fix(8, 0), "-1", var, "-5e-1", '+'},                  // -1.5: -2
      {fix(5, 2), "-500", fix(5, 2), "500", '+'},            // zero, positive
      {fix(5, 2), "-0", fix(5, 2), "-0", '+'},
      {fix(5, 2), "-0", fix(5, 2), "7", '-'},
      {fix(3, 1), "-12345", fix(4, 1), "-1000000", '-'},     // lengths apart
      {fix(3, 1), "12345", fix(4, 1), "-87655", '-'},        // 100000 into 3 bytes: 300540
      {fix(5, 2), "12345", fix(5, 3), "5", '+'},             // scales apart: 123.455 rounds to 123.46
      {fix(4, 2), "12345", var, "3e-0", '*'},
      {var, "10e-0", var, "4e-0", '/'},                       // 2.5
      {var, "-1e-0", var, "3e-0", '/'},
      {fix(5, 2), "100", var, "8e-0", '/'},                  // 0.125 into 2 decimals: 0.13
      {var, "0e-0", var, "7e-0", '/'},
      {var, "5e-0", var, "0e-0", '/'},                        // by zero: 300540
      {var, "5e-0", fix(5, 2), "500", '+', true},            // sources that are no number
      {fix(5, 2), "5", fix(5, 2), "500", '+', true},
      {fix(5, 2), "5", fix(5, 2), "500", '*', true},
  };
  // Fixed fields of every length at their largest value and one past, both
  // signs; binary fields at the limits of their words.
  for (int len = 1; len <= 8; ++len) {
    std::string max(size_t(2 * len - 1), '9'), below = max;
    below.back() = '8';
    cases.push_back({fix(len, 0), below, fix(len, 0), "1", '+'});
    cases.push_back({fix(len, 0), max, fix(len, 0), "1", '+'});
    cases.push_back({fix(len, 1), "-" + below, fix(len, 1), "1", '-'});
    cases.push_back({fix(len, 1), "-" + max, fix(len, 1), "1", '-'});
    cases.push_back({fix(len, 0), max, var, "1e-0", '+'});
    cases.push_back({fix(len, 0), max, fix(len, 0), "1", '+', true});
  }
  const Form bin{5, 4, 0, true}, ubin{5, 4, 0, false}, bin2{5, 2, 0, true};
  cases.push_back({bin, "2147483646", bin, "1", '+'});
  cases.push_back({bin, "2147483647", bin, "1", '+'});
  cases.push_back({bin, "-2147483647", bin, "1", '-'});
  cases.push_back({bin, "-2147483648", bin, "1", '-'});
  cases.push_back({ubin, "4294967294", ubin, "1", '+'});
  cases.push_back({ubin, "4294967295", ubin, "1", '+'});
  cases.push_back({ubin, "0", ubin, "1", '-'});
  cases.push_back({bin2, "32767", bin2, "1", '+'});
  cases.push_back({bin2, "-32768", bin2, "-1", '+'});
  auto put = [](uint8_t* p, const Form& f, const std::string& t) {
    size_t e = t.find("e-");
    V v;
    v.m = Z(t.substr(0, e), 10);
    v.s = e == std::string::npos ? f.scale : std::atoi(t.c_str() + e + 2);
    store(p, f, v);
    if (t[0] == '-' && v.m == 0) p[(f.type == 12 ? 8 : f.len) - 1] |= 0x0D;  // a negative zero
    return v;
  };
  FILE* trace = std::tmpfile();
  ASSERT_NE(trace, nullptr);
  for (const Case& c : cases) {
    std::vector<uint8_t> got[2];
    bool trapped[2];
    V a, b;
    for (int slow = 0; slow < 2; ++slow) {
      std::memset(tf, 0x5A, 32);
      std::memset(sf, 0x5A, 40);
      a = put(tf, c.t, c.a);
      b = put(sf, c.s, c.b);
      if (c.bad) sf[0] = 0xAB;
      ASSERT_TRUE(compute(num(c.t, a), num(c.s, b), c.op));
      ii2::flags().clear();
      if (slow) ii_set_trace(trace);
      int rc = run(ii2::cref(1, 0));
      ii_set_trace(nullptr);
      ASSERT_EQ(rc, 1);
      trapped[slow] = !ii2::flags().empty();
      got[slow].assign(tf, tf + 32);
    }
    std::string what = form_str(c.t) + " " + c.a + " " + c.op + " " + form_str(c.s) + " " + c.b + (c.bad ? " (bad)" : "");
    EXPECT_EQ(trapped[0], trapped[1]) << what;
    EXPECT_EQ(got[0], got[1]) << what;
    if (c.bad) {
      EXPECT_TRUE(trapped[0]) << what;
      continue;
    }
    if (c.t.scale > 31 || c.s.scale > 31) continue;  // (the evaluator knows no scale past 31)
    V want = compute_rule(c.t, a, c.s, b, c.op, "");
    V have = trapped[0] ? fail() : load(got[0].data(), c.t);
    if (c.t.type != 12 && have.ok) have.s = want.s;  // the scale is the field's
    EXPECT_TRUE(same(have, want) || want.unsure) << what << ": want " << vstr(want) << ", got " << vstr(have);
  }
  std::fclose(trace);
}

// ------------------------------------------------------------ CALC --
// A random expression: leaves are decimal variables, integer variables
// (converted before any arithmetic) and constants; nodes + - * /, negation
// and the exact functions ABS, FLOOR and CEIL (computed through double).
struct Node {
  char kind;      // 'v' decimal variable, 'i' integer variable, 'c' constant, 'o' operator, 'n' negate, 'f' function
  int index = 0;  // variable letter or constant number
  char op = 0;
  int fn = 0;
  int left = -1, right = -1;
};

Q floor_q(const Q& q) {
  Z f;
  mpz_fdiv_q(f.get_mpz_t(), q.get_num_mpz_t(), q.get_den_mpz_t());
  return Q(f);
}
Q fn_exact(int fn, const Q& x) {
  if (fn == kFnAbs) return abs(x);
  if (fn == kFnFloor) return floor_q(x);
  return -floor_q(-x);
}
V fn_rule(int fn, const V& a) {
  Q x(a.m, p10(a.s));
  V r = from_quotient(fn_exact(fn, x));
  Q eps(1, Z(1) << 50);
  V lo = from_quotient(fn_exact(fn, x * (1 - eps))), hi = from_quotient(fn_exact(fn, x * (1 + eps)));
  r.unsure = a.unsure || !same(r, lo) || !same(r, hi);
  return r;
}

class IiCalcDiff : public IiMath {
 protected:
  uint32_t dec_ira[26] = {}, int_ira[26] = {};
  uint8_t* dec[26] = {};
  uint8_t* ints[26] = {};
  std::vector<uint32_t> cnst_ira;
  std::vector<uint8_t*> cnst;
  void SetUp() override {
    IiMath::SetUp();
    for (int i = 0; i < 26; ++i) {
      dec[i] = field(9, &dec_ira[i]);
      ints[i] = field(4, &int_ira[i]);
    }
    for (int i = 0; i < 16; ++i) {
      uint32_t ira;
      cnst.push_back(field(9, &ira));
      cnst_ira.push_back(ira);
    }
  }
  void emit(const std::vector<Node>& t, int n) {
    const Node& x = t[size_t(n)];
    switch (x.kind) {
      case 'v': bld_ira(&m.code, dec_ira[x.index], 1); bld_calc_load(&m.code, 8); break;
      case 'i':
        bld_ira(&m.code, int_ira[x.index], 1);
        bld_calc_load(&m.code, 5);
        bld_calc_eval(&m.code, '$');
        break;
      case 'c': bld_ira(&m.code, cnst_ira[size_t(x.index)], 1); bld_calc_load(&m.code, 12); break;
      case 'n': emit(t, x.left); bld_calc_eval(&m.code, '~'); break;
      case 'f': emit(t, x.left); bld_calc_fn(&m.code, uint8_t(x.fn)); break;
      default:
        emit(t, x.left);
        emit(t, x.right);
        bld_calc_eval(&m.code, x.op);
    }
  }
  V eval(const std::vector<Node>& t, int n, const std::vector<V>& dv, const std::vector<V>& iv,
         const std::vector<V>& cv) {
    const Node& x = t[size_t(n)];
    switch (x.kind) {
      case 'v': {  // a negative scale reads as the digits and zeros
        V v = dv[size_t(x.index)];
        if (v.s < 0) {
          v.m *= p10(-v.s);
          v.s = 0;
        }
        return v;
      }
      case 'i': return iv[size_t(x.index)];
      case 'c': return cv[size_t(x.index)];
      case 'n': {
        V a = eval(t, x.left, dv, iv, cv);
        a.m = -a.m;
        return a;
      }
      case 'f': {
        V a = eval(t, x.left, dv, iv, cv);
        return a.ok ? fn_rule(x.fn, a) : a;
      }
      default: {
        V a = eval(t, x.left, dv, iv, cv);
        if (!a.ok) return a;
        V b = eval(t, x.right, dv, iv, cv);
        if (!b.ok) return fail(a.unsure || b.unsure);
        switch (x.op) {
          case '+': return add(a, b, false);
          case '-': return add(a, b, true);
          case '*': return mul(a, b);
          default: return divide(a, b);
        }
      }
    }
  }
};

int grow(Gen& g, std::vector<Node>& t, int leaves, int& consts) {
  Node x;
  if (leaves <= 1) {
    uint64_t k = g.u(3);
    if (k == 2 && consts < 16) {
      x.kind = 'c';
      x.index = consts++;
    } else {
      x.kind = k == 1 ? 'i' : 'v';
      x.index = int(g.u(26));
    }
    if (g.u(8) == 0) {
      t.push_back(x);
      Node w;
      w.kind = g.u(2) ? 'n' : 'f';
      w.fn = int(std::array<int, 3>{kFnAbs, kFnFloor, kFnCeil}[g.u(3)]);
      w.left = int(t.size() - 1);
      t.push_back(w);
      return int(t.size() - 1);
    }
    t.push_back(x);
    return int(t.size() - 1);
  }
  int l = 1 + int(g.u(uint64_t(leaves - 1)));
  x.kind = 'o';
  x.op = "+-*/"[g.u(4)];
  x.left = grow(g, t, l, consts);
  x.right = grow(g, t, leaves - l, consts);
  t.push_back(x);
  return int(t.size() - 1);
}

// Each CALC result then goes on as a field with decimals takes it: moved
// into a fixed packed field of 8-16 bytes (mostly with decimals) and
// compared with that field. Results past 15 integer digits keep their 15
// highest digits at a negative scale, and variables hold such values too.
TEST_F(IiCalcDiff, CalcExpressionsMatchTheEvaluator) {
  Gen g{std::mt19937_64(seed() + 1)};
  uint32_t fix_ira = 0;
  uint8_t* fix = field(16, &fix_ira);
  long n = cases(100000) / 5, fails = 0, unsure = 0, bad = 0, past15 = 0, moved = 0;
  uint64_t plans_before = ii_math_plan_runs();
  for (long i = 0; i < n && bad < 10; ++i) {
    std::vector<V> dv(26), iv(26), cv(16);
    bool whole = g.u(4) == 0;  // integers only: the plan's 64-bit path
    bool big = g.u(4) == 0;    // values of up to 15 digits: products past 15 integer digits
    for (int k = 0; k < 26; ++k) {
      V& d = dv[size_t(k)];
      d.s = whole ? 0 : int(g.u(8));
      d.m = g.digits(int(g.u(big ? 16 : 10)));
      if (big && g.u(3) == 0) d.s = -int(1 + g.u(16));  // a result past 15 digits kept before
      if (g.u(3) == 0) d.m = -d.m;
      store(dec[k], Form{12, 9, 0, true}, d);
      int64_t x = g.u(4) == 0 ? int64_t(int32_t(g.rng())) : int64_t(g.u(2000)) - 1000;
      iv[size_t(k)].m = Z(std::to_string(x), 10);
      store(ints[k], Form{5, 4, 0, true}, iv[size_t(k)]);
    }
    for (int k = 0; k < 16; ++k) {
      cv[size_t(k)].s = whole ? 0 : int(g.u(6));
      cv[size_t(k)].m = g.digits(int(g.u(big ? 16 : 8)));
      store(cnst[size_t(k)], Form{12, 9, 0, true}, cv[size_t(k)]);
    }
    std::vector<Node> t;
    int consts = 0;
    int root = grow(g, t, 1 + int(g.u(10)), consts);
    bool to_int = g.u(4) == 0;
    int res = int(g.u(26));
    // The fixed field: 8-16 bytes, mostly with decimals; its value before.
    uint8_t flen = uint8_t(8 + g.u(9));
    uint8_t fsc = uint8_t(g.u(5) == 0 ? g.u(uint64_t(std::min(2 * flen - 1, 31)) + 1) : 1 + g.u(6));
    Form ff{8, flen, fsc, true};
    V fv = g.value(ff);
    store(fix, ff, fv);
    uint8_t rel = uint8_t(1 + g.u(6));
    restart();
    uint8_t* ov = bld_overflow(&m.code, ii2::no_code());
    bld_calc_reset(&m.code);
    bld_ira(&m.code, to_int ? int_ira[res] : dec_ira[res], 1);
    bld_calc_load(&m.code, to_int ? 5 : 8);
    emit(t, root);
    bld_calc_eval(&m.code, '=');
    if (!to_int) {  // FLAG 2; the move, FLAG 3; IF result rel field, T FLAG 4
      flag(2);
      bld_ira(&m.code, fix_ira, 1);
      bld_ira(&m.code, dec_ira[res], 2);
      bld_move_fix_var(&m.code, flen, fsc);
      flag(3);
      bld_ira(&m.code, dec_ira[res], 1);
      bld_ira(&m.code, fix_ira, 2);
      uint32_t msg = 0;
      ASSERT_EQ(bld_if_and_or(&m.code, IbTstOp{12, 9, 0, true, false, nullptr},
                              IbTstOp{8, flen, fsc, true, false, nullptr}, rel, 38, 10, &msg), 1);
      uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x1FF);
      flag(4);
      rec::view<IbTfc>(tfc).to = here();
    }
    end_trapped(ov);
    uint8_t before[9], fbefore[16];
    uint8_t* target = to_int ? ints[res] : dec[res];
    std::memcpy(before, target, 9);
    std::memcpy(fbefore, fix, 16);
    ii2::flags().clear();
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    std::vector<uint32_t> got_flags = ii2::flags();
    V want = eval(t, root, dv, iv, cv);
    if (want.ok) {
      if (to_int) {
        want.m = round_div(want.m, want.s);
        want.s = 0;
        if (want.m < Z(INT32_MIN) || want.m > Z(INT32_MAX)) want.ok = false;
      } else {
        calc_limit15(want);
      }
    }
    bool calc_failed = to_int ? !got_flags.empty() : got_flags.empty() || got_flags[0] != 2;
    V got = calc_failed ? fail() : load(target, to_int ? Form{5, 4, 0, true} : Form{12, 9, 0, true});
    if (!want.ok) ++fails;
    past15 += want.ok && want.s < 0;
    bool match = same(got, want) && (got.ok || std::memcmp(before, target, 9) == 0);
    // What the field then holds, and the comparison: the move rounds to the
    // field's scale and must fit it; the comparison aligns both at the
    // larger scale within 31 digits.
    std::vector<uint32_t> want_flags;
    V fwant = fv;
    if (!to_int && match && got.ok) {
      want_flags.push_back(2);
      V mv = store_rule(want, ff, fsc);
      if (mv.ok) {
        fwant = mv;
        want_flags.push_back(3);
        ++moved;
        int sc = std::max(want.s, int(fsc));
        Z a = want.m * p10(sc - want.s), b = fwant.m * p10(sc - fsc);
        if (ndig(a) <= 31 && ndig(b) <= 31) {
          if (ii_rel(a < b ? -1 : a > b ? 1 : 0, rel) == 1) want_flags.push_back(4);
        } else {
          want_flags.push_back(1);
        }
      } else {
        want_flags.push_back(1);
      }
      V fgot = load(fix, ff);
      if (!same(fgot, fwant) || got_flags != want_flags) {
        ++bad;
        ADD_FAILURE() << "case " << i << ": " << vstr(want) << " into " << form_str(ff) << " from "
                      << vstr(fv) << ": want " << vstr(fwant) << " and flags " << testing::PrintToString(want_flags)
                      << ", got " << vstr(fgot) << " and " << testing::PrintToString(got_flags);
      }
    }
    // Run again: a statement whose instructions all ran once now runs as
    // one step by its plan where it has one, with the same outcome.
    uint8_t after[9], fafter[16];
    std::memcpy(after, target, 9);
    std::memcpy(fafter, fix, 16);
    std::memcpy(target, before, 9);
    std::memcpy(fix, fbefore, 16);
    ii2::flags().clear();
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    if (std::memcmp(after, target, 9) != 0 || std::memcmp(fafter, fix, 16) != 0 || got_flags != ii2::flags()) {
      ++bad;
      ADD_FAILURE() << "case " << i << ": the second run differs from the first";
    }
    if (!match && want.unsure) {
      ++unsure;
      continue;
    }
    if (!match) {
      ++bad;
      ADD_FAILURE() << "case " << i << " leaves " << t.size() << (to_int ? " into an integer" : "") << ": want "
                    << vstr(want) << ", got "
                    << vstr(got);
    }
  }
  uint64_t planned = ii_math_plan_runs() - plans_before;
  std::printf("CALC: %ld expressions, %ld failures (300540), %ld results past 15 digits, %ld moved into a field, "
              "%ld near a rounding boundary, %llu second runs by a plan\n",
              n, fails, past15, moved, unsure, static_cast<unsigned long long>(planned));
  EXPECT_GT(planned, uint64_t(n / 20));
  EXPECT_GT(past15, n / 50);
}

// ---------------------------------------------------- directed cases --
// A CALC program in postfix: "A" "BI" (variables), "#2.5" (a constant),
// "+ - * / ~" and "@n" (function n); the result into `res`.
class IiCalc1 : public IiCalcDiff {
 protected:
  int consts = 0;
  void set_dec(int var, const char* text) { ii2::set_pd(dec[var], text); }
  void set_int(int var, int32_t v) { rec::view<rec::U32>(ints[var]) = uint32_t(v); }
  std::string dec_str(int var) {
    V v = load(dec[var], Form{12, 9, 0, true});
    return v.m.get_str() + "e-" + std::to_string(v.s);
  }
  // Runs the program; the completion code (1, or 300540 without a trap).
  int pad = 0;  // NOPs before the statement (to place it across a block's end)
  int calc(const char* res, std::initializer_list<const char*> prog, bool trap = false) {
    return calc(res, std::vector<const char*>(prog), trap);
  }
  int calc(const char* res, const std::vector<const char*>& prog, bool trap = false) {
    restart();
    consts = 0;
    for (int i = 0; i < pad; ++i) ib_put(&m.code, 466);
    uint8_t* ov = trap ? bld_overflow(&m.code, ii2::no_code()) : nullptr;
    emit_calc(res, prog);
    end_trapped(ov);
    ii2::flags().clear();
    return run(ii2::cref(1, 0));
  }
  // The statement's instructions.
  void emit_calc(const char* res, const std::vector<const char*>& prog) {
    auto load_var = [&](const char* v) {
      bool is_int = v[1] == 'I';
      bld_ira(&m.code, is_int ? int_ira[v[0] - 'A'] : dec_ira[v[0] - 'A'], 1);
      bld_calc_load(&m.code, is_int ? 5 : 8);
      return is_int;
    };
    bld_calc_reset(&m.code);
    load_var(res);
    for (const char* t : prog) {
      if (t[0] >= 'A' && t[0] <= 'Z') {
        if (load_var(t)) bld_calc_eval(&m.code, '$');
      } else if (t[0] == '#') {  // CNST_1, relocated: its bytes are the constant's
        ii2::set_pd(cnst[size_t(consts)], t + 1);
        rec::view<rec::U32>(m.emit(53, 8) + 4) = arena::offset_of(cnst[size_t(consts++)]);
        bld_calc_load(&m.code, 12);
      } else if (t[0] == '@') {
        bld_calc_fn(&m.code, uint8_t(std::atoi(t + 1)));
      } else {
        bld_calc_eval(&m.code, t[0]);
      }
    }
    bld_calc_eval(&m.code, '=');
  }
  // The statement run by the instructions, then again from the same value
  // of its result (its second run is the plan's): both outcomes, and
  // whether the plan left the same bytes and trap as the instructions.
  struct Twice {
    int first, second;
    bool trapped, same_bytes, same_trap;
    uint64_t plan_runs;
  };
  // A postfix program of `len` operations (+ - * /, a division one time in
  // `div`, now and then a negation), at most `deep` operands on the stack,
  // its operands from `leaf`.
  template <class U, class Leaf>
  static std::vector<std::string> postfix(U& u, int len, int deep, uint64_t div, Leaf leaf) {
    std::vector<std::string> words;
    int depth = 0, ops = 0;
    while (ops < len || depth != 1) {
      if (depth < 2 || (ops < len && u(2) == 0 && depth < deep)) {
        words.push_back(leaf());
        ++depth;
      } else if (u(8) == 0) {
        words.push_back("~");
      } else {
        words.push_back(u(div) == 0 ? "/" : u(3) == 0 ? "*" : u(2) ? "+" : "-");
        --depth;
        ++ops;
      }
    }
    return words;
  }
  // The program into `res` twice (calc_twice): false, with a failure, when
  // the plan's run did not leave what the instructions left.
  bool same_twice(const char* res, const std::vector<std::string>& words, long* planned) {
    std::vector<const char*> prog;
    for (const std::string& w : words) prog.push_back(w.c_str());
    Twice t = calc_twice(res, prog);
    *planned += long(t.plan_runs);
    std::string text = std::string(res) + " =";
    for (const char* w : prog) text += std::string(" ") + w;
    EXPECT_EQ(t.first, t.second) << text;
    EXPECT_TRUE(t.same_bytes) << text;
    EXPECT_TRUE(t.same_trap) << text;
    return t.first == t.second && t.same_bytes && t.same_trap;
  }
  Twice calc_twice(const char* res, const std::vector<const char*>& prog, FILE* trace = nullptr) {
    uint8_t before[13], after[13];  // A's bytes and AI's
    std::memcpy(before, dec[0], 9);
    std::memcpy(before + 9, ints[0], 4);
    Twice t{};
    t.first = calc(res, prog, true);
    std::memcpy(after, dec[0], 9);
    std::memcpy(after + 9, ints[0], 4);
    t.trapped = !ii2::flags().empty();
    std::memcpy(dec[0], before, 9);
    std::memcpy(ints[0], before + 9, 4);
    ii2::flags().clear();
    uint64_t runs = ii_math_plan_runs();
    if (trace) ii_set_trace(trace);
    t.second = run(ii2::cref(1, 0));
    ii_set_trace(nullptr);
    t.plan_runs = ii_math_plan_runs() - runs;
    t.same_bytes = std::memcmp(after, dec[0], 9) == 0 && std::memcmp(after + 9, ints[0], 4) == 0;
    t.same_trap = t.trapped == !ii2::flags().empty();
    return t;
  }
};

TEST_F(IiCalc1, StoresRoundAndFunctionsRefuseWhatIsNotANumber) {
  set_dec(1, "2.75");
  ASSERT_EQ(calc("AI", {"B"}), 1);
  EXPECT_EQ(int32_t(rec::view<rec::U32>(ints[0]).get()), 3);
  set_dec(1, "2.25");
  ASSERT_EQ(calc("AI", {"B"}), 1);
  EXPECT_EQ(int32_t(rec::view<rec::U32>(ints[0]).get()), 2);
  // Integer variables are converted first: BI / DI keeps the fraction.
  set_int(1, 7);
  set_int(3, 2);
  ASSERT_EQ(calc("A", {"BI", "DI", "/"}), 1);
  EXPECT_EQ(dec_str(0), "35e-1");
  // -(-B) and B - -D.
  set_dec(1, "4.5");
  set_dec(3, "1.25");
  ASSERT_EQ(calc("A", {"B", "~", "~"}), 1);
  EXPECT_EQ(dec_str(0), "45e-1");
  ASSERT_EQ(calc("A", {"B", "D", "~", "-"}), 1);
  EXPECT_EQ(dec_str(0), "575e-2");
  // EXP(40) is above 1e17: 300540, the target unchanged; at the trap.
  set_dec(0, "1");
  EXPECT_EQ(calc("A", {"#40", "@10"}), 300540);
  EXPECT_EQ(calc("A", {"#40", "@10"}, true), 1);
  EXPECT_EQ(ii2::flags(), std::vector<uint32_t>{1});
  EXPECT_EQ(dec_str(0), "1e-0");
  // ACOS below 0 by the library (not the arc tangent form), |x| > 1 refused.
  ASSERT_EQ(calc("A", {"#0.5", "~", "@1"}), 1);
  EXPECT_EQ(dec_str(0), "20943951023932e-13");  // 2.09439510239320, trailing zero dropped
  EXPECT_EQ(calc("A", {"#1.5", "@1"}), 300540);
  EXPECT_EQ(calc("A", {"#2", "@2"}), 300540);
  EXPECT_EQ(calc("A", {"#1", "~", "@15"}), 300540);  // SQRT(-1)
  EXPECT_EQ(calc("A", {"#0", "@11"}), 300540);       // LOG(0)
  EXPECT_EQ(calc("A", {"#5", "#0", "@13"}), 300540); // MOD(5, 0)
  ASSERT_EQ(calc("A", {"#7", "~", "#3", "@13"}), 1); // MOD(-7, 3) = -1
  EXPECT_EQ(dec_str(0), "-1e-0");
  ASSERT_EQ(calc("A", {"#2", "#10", "@14"}), 1);     // POW(2, 10)
  EXPECT_EQ(dec_str(0), "1024e-0");
  ASSERT_EQ(calc("A", {"#2", "#2", "~", "@14"}), 1); // POW(2, -2)
  EXPECT_EQ(dec_str(0), "25e-2");
  EXPECT_EQ(calc("A", {"#0", "#1", "~", "@14"}), 300540);
  for (const char* base : {"#0", "#5"}) {  // x^0 = 1, 0^0 too; 0^3 = 0
    ASSERT_EQ(calc("A", {base, "#0", "@14"}), 1) << base;
    EXPECT_EQ(dec_str(0), "1e-0") << base;
  }
  ASSERT_EQ(calc("A", {"#0", "#3", "@14"}), 1);
  EXPECT_EQ(dec_str(0), "0e-0");
  ASSERT_EQ(calc("A", {"#1", "#2", "@19"}), 1);      // ATAN2(1, 2)
  EXPECT_EQ(dec_str(0), "463647609000806e-15");
  // Division by zero.
  EXPECT_EQ(calc("A", {"#1", "#0", "/"}), 300540);
  // A quotient of magnitude 1e17 is refused, A unchanged; 9e16 keeps its
  // 15 highest digits.
  set_dec(0, "1");
  set_dec(1, "100000000");
  set_dec(2, "1000000000");
  EXPECT_EQ(calc("A", {"B", "C", "*", "#1", "/"}), 300540);
  EXPECT_EQ(calc("A", {"B", "C", "*", "~", "#1", "/"}), 300540);
  EXPECT_EQ(dec_str(0), "1e-0");
  set_dec(1, "90000000");
  ASSERT_EQ(calc("A", {"B", "C", "*", "#1", "/"}), 1);
  EXPECT_EQ(dec_str(0), "900000000000000e--2");
}

// A CALC result of more than 15 significant digits keeps the 15 highest,
// rounded, the scale going below 0 as integer digits go; such a variable
// reads as its digits followed by zeros, up to the stack's 31 digits.
TEST_F(IiCalc1, ResultsPastFifteenDigitsKeepTheirHighestDigits) {
  // -32628343.8 squared is 1064608819130998.44.
  set_dec(1, "-32628343.8");
  ASSERT_EQ(calc("A", {"B", "B", "*"}), 1);
  EXPECT_EQ(dec_str(0), "106460881913100e--1");
  EXPECT_EQ(dec[0][8], 0xFF);
  ASSERT_EQ(calc("C", {"A", "#1000", "/"}), 1);
  EXPECT_EQ(dec_str(2), "1064608819131e-0");
  ASSERT_EQ(calc("C", {"A", "#1", "+"}), 1);  // 1064608819131001: the 1 rounds away
  EXPECT_EQ(dec_str(2), "106460881913100e--1");
  ASSERT_EQ(calc("A", {"#99999999", "#99999999", "*"}), 1);
  EXPECT_EQ(dec_str(0), "999999980000000e--1");
  // 9999999999999995 rounds up into a 16th digit: dropped once more.
  set_dec(1, "999999999999999");
  ASSERT_EQ(calc("A", {"B", "#10", "*", "#5", "+"}), 1);
  EXPECT_EQ(dec_str(0), "100000000000000e--2");
  // 30 digits, then 31; a product of 32 is refused, A unchanged.
  ASSERT_EQ(calc("A", {"B", "B", "*"}), 1);
  EXPECT_EQ(dec_str(0), "999999999999998e--15");
  ASSERT_EQ(calc("A", {"B", "B", "*", "#9", "*"}), 1);
  EXPECT_EQ(dec_str(0), "899999999999998e--16");
  EXPECT_EQ(calc("A", {"A", "#1", "*"}), 300540);
  EXPECT_EQ(dec_str(0), "899999999999998e--16");
  // Read as it is at the limit of 31 digits, refused one past it.
  set_dec(3, "1");
  dec[3][8] = uint8_t(-30);
  ASSERT_EQ(calc("A", {"D"}), 1);
  EXPECT_EQ(dec_str(0), "100000000000000e--16");
  dec[3][8] = uint8_t(-31);
  EXPECT_EQ(calc("A", {"D"}), 300540);
}

TEST_F(IiCalc1, OlderMultiplyScalesBothOperands) {
  // The common multiply keeps every digit the operands have and the store
  // keeps 15; the older one aligns the scales and, with 13 digits at scale
  // 12, drops (13 + 24 - 29) / 2 = 4 digits from both operands first.
  set_dec(1, "1.23456789");
  set_dec(2, "9.87654321");
  ASSERT_EQ(calc("A", {"B", "C", "*"}), 1);
  EXPECT_EQ(dec_str(0), "121932631112635e-13");
  set_dec(1, "1.234567891234");
  set_dec(2, "9.876543219876");
  ASSERT_EQ(calc("A", {"B", "C", "*"}), 1);
  std::string common = dec_str(0);
  ii_math_set_switches(true, false);
  ASSERT_EQ(calc("A", {"B", "C", "*"}), 1);
  EXPECT_NE(dec_str(0), common);
  EXPECT_EQ(dec_str(0), "121932631112635e-13");  // 1.23456789 x 9.87654321
  // At the bound (digits plus twice the scale): 30 drops nothing, 31 one
  // digit of each, and 32 one too, not two.
  const struct {
    const char *b, *c, *want;
  } bound[] = {
      {"123456.12345678", "1.00000009", "123456134567831e-9"},  // 123456.1345678311111102
      {"1234567.12345678", "1.00000009", "12345671234567e-7"},  // 1234567.1234567 x 1.0000000
      {"12345.123456789", "1.000000009", "1234512345678e-8"},   // 12345.12345678 x 1.00000000
  };
  for (const auto& x : bound) {
    set_dec(1, x.b);
    set_dec(2, x.c);
    ASSERT_EQ(calc("A", {"B", "C", "*"}), 1) << x.b;
    EXPECT_EQ(dec_str(0), x.want) << x.b;
  }
  ii_math_set_switches(false, false);
}

// The negation of a binary entry (no conversion before it): the negation of
// -2147483647 fits the word, that of -2147483648 does not.
TEST_F(IiCalc1, BinaryNegationAtTheLimitsOfTheWord) {
  auto negate = [&] {
    restart();
    bld_calc_reset(&m.code);
    bld_ira(&m.code, int_ira[0], 1);
    bld_calc_load(&m.code, 5);
    bld_ira(&m.code, int_ira[1], 1);
    bld_calc_load(&m.code, 5);
    bld_calc_eval(&m.code, '~');
    bld_calc_eval(&m.code, '=');
    end();
    return run(ii2::cref(1, 0));
  };
  set_int(1, -2147483647);
  ASSERT_EQ(negate(), 1);
  EXPECT_EQ(int32_t(rec::view<rec::U32>(ints[0]).get()), 2147483647);
  set_int(1, INT32_MIN);
  EXPECT_EQ(negate(), 300540);
  EXPECT_EQ(int32_t(rec::view<rec::U32>(ints[0]).get()), 2147483647);
}

// A hash total over a text of 31 and of 32 digits: the lowest 31 digits
// are added (a total of 31 digits wraps; it never keeps the highest).
// The plans' division on 64-bit values with scales (the divisors of a
// power of ten in line, the rest through double) against the evaluator:
// dividends of 15 digits and one past, at scales up to 15 and one past,
// divisors of 2s and 5s and others, both signs; a quotient the double may
// round either way is skipped.
TEST(IiMathDivide, QuotientsAtTheLimitsMatchTheEvaluator) {
  const int64_t dividends[] = {1, 7, 123456789012345, 999999999999999, 1000000000000000, 4999999999999999,
                               99999999999999999};
  const int64_t divisors[] = {2, 4, 5, 8, 16, 25, 40, 125, 1024, 3, 7, 1000000000000000, 999999999999999};
  int checked = 0;
  for (int64_t a : dividends)
    for (int as : {0, 1, 2, 14, 15, 16})
      for (int64_t b : divisors)
        for (int bs : {0, 2, 15, 16})
          for (int sign = 0; sign < 4; ++sign) {
            int64_t x = sign & 1 ? -a : a, y = sign & 2 ? -b : b;
            V va, vb;
            va.m = Z(std::to_string(x));
            va.s = as;
            vb.m = Z(std::to_string(y));
            vb.s = bs;
            V want = divide(va, vb);
            if (want.unsure) continue;
            int64_t q = 0;
            int qs = 0;
            bool ok = ii_math_divide(x, as, y, bs, &q, &qs);
            SCOPED_TRACE(std::to_string(x) + "e-" + std::to_string(as) + " / " + std::to_string(y) + "e-" +
                         std::to_string(bs));
            ASSERT_EQ(ok, want.ok);
            if (ok) {
              EXPECT_EQ(Z(std::to_string(q)), want.m);
              EXPECT_EQ(qs, want.s);
            }
            ++checked;
          }
  EXPECT_GT(checked, 2500);
}

// Trailing zero decimals dropped at once against one at a time: every
// count of zeros of 64 bits, below, at and past the scale.
TEST(IiMathDivide, TrailingZerosDropAsOneAtATime) {
  std::vector<uint64_t> ms = {0, 1, 5, 25, 625, 3125, 390625, UINT64_MAX, uint64_t(1) << 63, 15625ULL << 20};
  for (uint64_t odd : {1ULL, 3ULL, 7ULL, 125ULL, 18446744073709551ULL}) {
    uint64_t p = 1;
    for (int k = 0; k <= 19; ++k, p *= 10)  // (10^19 fits 64 bits)
      if (p <= UINT64_MAX / odd) ms.push_back(odd * p);
  }
  for (uint64_t m : ms)
    for (int sc = 0; sc <= 32; ++sc) {
      uint64_t w = m, want = m;
      int s = sc, want_s = sc;
      while (want_s > 0 && want % 10 == 0) {
        want /= 10;
        --want_s;
      }
      if (want == 0) want_s = 0;
      ii_trim64(w, s);
      ASSERT_EQ(w, want) << m << " at " << sc;
      ASSERT_EQ(s, want_s) << m << " at " << sc;
    }
}

TEST_F(IiMath, HashTotalOverATextKeepsItsLowest31Digits) {
  Form t{8, 16, 0, true};
  for (int len : {31, 32}) {
    std::string text;
    for (int i = 0; i < len; ++i) text += char('1' + i % 9);
    V a;
    a.m = 7;
    a.s = 0;
    IbNum sn = num(t, a);
    sn.type = 1;
    sn.len = uint8_t(len);
    sn.scale = 0;
    sn.digits = 0;
    ASSERT_TRUE(compute(num(t, a), sn, '1'));
    store(tf, t, a);
    std::memset(sf, ' ', 40);
    std::memcpy(sf, text.data(), text.size());
    ii2::flags().clear();
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    ASSERT_TRUE(ii2::flags().empty()) << len;
    EXPECT_EQ(load(tf, t).m.get_str(), Z(Z(text.substr(text.size() - 31), 10) + 7).get_str()) << len;
  }
}

// COMPUTE stores, one case per rule.
TEST_F(IiMath, StoresCheckEveryTargetRange) {
  auto one = [&](Form t, const char* tv, Form s, const char* sv, char op, bool no_neg = false) {
    ii_math_set_switches(false, no_neg);
    V a, b;
    a.m = Z(tv, 10);
    a.s = t.scale;
    b.m = Z(sv, 10);
    b.s = s.scale;
    EXPECT_TRUE(compute(num(t, a), num(s, b), op));
    store(tf, t, a);
    store(sf, s, b);
    ii2::flags().clear();
    EXPECT_EQ(run(ii2::cref(1, 0)), 1);
    if (!ii2::flags().empty()) return std::string("300540");
    return load(tf, t).m.get_str();
  };
  Form u1{5, 1, 0, false}, s1{5, 1, 0, true}, s4{5, 4, 0, true}, u4{5, 4, 0, false}, p3{8, 3, 0, true},
      p5s2{8, 5, 2, true};
  EXPECT_EQ(one(u1, "250", s4, "50", '+'), "300540");  // 300 into unsigned 1 byte
  EXPECT_EQ(one(u1, "250", s4, "5", '+'), "255");
  EXPECT_EQ(one(s1, "0", s4, "1", '-'), "-1");
  EXPECT_EQ(one(s1, "0", s4, "1", '-', true), "300540");  // QUVO_NO_NEG_INT
  EXPECT_EQ(one(s1, "100", s4, "28", '+'), "300540");     // signed 1 byte bounded above
  EXPECT_EQ(one(s4, "2147483647", s4, "1", '+'), "300540");
  EXPECT_EQ(one(u4, "4294967295", s4, "0", '+'), "4294967295");
  EXPECT_EQ(one(u1, "0", p3, "-5", '+'), "300540");       // not the absolute value
  EXPECT_EQ(one(p5s2, "1000", p3, "0", '/'), "300540");   // division by zero
  EXPECT_EQ(one(p5s2, "1000", p3, "3", '/'), "333");      // 10.00 / 3 = 3.33
  // A hash total of 5 digits: 99999 + 1 wraps to 0.
  Form h{8, 3, 0, true};
  EXPECT_EQ(one(h, "99999", p3, "1", '1'), "0");
  EXPECT_EQ(one(h, "5", p3, "7", '2'), "-2");
}

// A bounded fuzz of random CALC code: well-formed stack code over every
// function, with operands of any bytes (invalid packed values, any scale
// byte). Every run ends normally or at the trap, a failed store leaves its
// target alone, and nothing reads or writes out of bounds (the sanitizer
// build runs it too).
TEST_F(IiCalcDiff, FuzzRandomCalcCode) {
  std::mt19937_64 rng(seed() + 2);
  auto u = [&](uint64_t n) { return rng() % n; };
  long n = cases(100000) / 10, trapped = 0;
  for (long i = 0; i < n; ++i) {
    for (int k = 0; k < 26; ++k) {
      for (int j = 0; j < 9; ++j) dec[k][j] = uint8_t(rng());
      if (u(2)) {  // mostly valid values
        PdCva c{dec[k], 8, 0};
        std::string t = std::to_string(int64_t(rng() % 2000000) - 1000000);
        if (u(2)) t.insert(t.size() - std::min<size_t>(t.size() - 1, u(4)), ".");
        pd_cva(t.c_str(), int(t.size()), '.', &c);
        dec[k][8] = uint8_t(c.scale);
      }
      rec::view<rec::U32>(ints[k]) = uint32_t(rng());
    }
    restart();
    uint8_t* ov = bld_overflow(&m.code, ii2::no_code());
    bld_calc_reset(&m.code);
    int res = int(u(26));
    bool to_int = u(3) == 0;
    bld_ira(&m.code, to_int ? int_ira[res] : dec_ira[res], 1);
    bld_calc_load(&m.code, to_int ? 5 : 8);
    int depth = 0, ops = 0, len = 1 + int(u(21));
    while (ops < len || depth != 1) {
      uint64_t what = depth >= 20 || (ops >= len && depth > 1) ? 2 : depth < 1 ? 0 : depth < 2 ? u(2) * 3 : u(4);
      if (what == 0 || what == 1) {
        bool is_int = u(3) == 0;
        bld_ira(&m.code, is_int ? int_ira[u(26)] : dec_ira[u(26)], 1);
        bld_calc_load(&m.code, is_int ? 5 : 8);
        if (is_int && u(4)) bld_calc_eval(&m.code, '$');
        ++depth;
      } else if (what == 2) {
        bld_calc_eval(&m.code, "+-*/"[u(4)]);
        --depth;
      } else {
        int fn = 1 + int(u(19));
        bool two = fn == kFnMod || fn == kFnPow || fn == kFnAtan2;
        if (two && depth < 2) continue;
        if (u(3) == 0) bld_calc_eval(&m.code, '~');
        else bld_calc_fn(&m.code, uint8_t(fn));
        if (two) --depth;
      }
      ++ops;
    }
    bld_calc_eval(&m.code, '=');
    end_trapped(ov);
    uint8_t* target = to_int ? ints[res] : dec[res];
    uint8_t before[9];
    std::memcpy(before, target, 9);
    ii2::flags().clear();
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    if (!ii2::flags().empty()) {
      ++trapped;
      ASSERT_EQ(std::memcmp(before, target, to_int ? 4 : 9), 0) << "case " << i;
    }
  }
  std::printf("CALC fuzz: %ld programs, %ld ended at the trap\n", n, trapped);
}

// Damaged stack code: an operation on too few entries, or a 31st push,
// fails instead of reading or writing past the stack.
TEST_F(IiCalc1, DamagedStackCodeFails) {
  restart();
  bld_calc_reset(&m.code);
  bld_calc_eval(&m.code, '+');
  end();
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  restart();
  bld_calc_reset(&m.code);
  for (int i = 0; i < 31; ++i) {
    bld_ira(&m.code, dec_ira[0], 1);
    bld_calc_load(&m.code, 8);
  }
  end();
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  restart();
  bld_calc_reset(&m.code);
  bld_calc_eval(&m.code, '=');
  end();
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
}

// Damaged code whose store meets an entry of another form (a COMPUTE
// operand of a 3-byte field, a CALC push of a variable: 16 bytes in a room
// of 9) fails instead of writing past the field.
TEST_F(IiCalc1, DamagedStoreCodeFails) {
  auto oprnd = [&](uint8_t which) {
    auto& in = rec::view<IbComputeOprnd>(ib_put(&m.code, 710));
    in.is_signed = 1;
    in.type = kIiPdFix;
    in.len = 3;
    in.which = which;
    in.scale = 0;
  };
  for (uint16_t store : {708, 722, 740, 736}) {
    restart();
    bld_ira(&m.code, ira_t, 1);
    bld_ira(&m.code, ira_s, 2);
    if (store == 736) {
      bld_calc_reset(&m.code);
      bld_calc_load(&m.code, kIiPdVar);
    } else {
      oprnd(1);
      oprnd(2);
    }
    ib_put(&m.code, store);
    end();
    std::memset(tf, 0x5A, 32);
    if (store == 736) {
      ii2::set_pd(tf, "123");
    } else {
      const uint8_t v[3] = {0x00, 0x12, 0x3C};  // 123
      std::memcpy(tf, v, 3);
      std::memcpy(sf, v, 3);
    }
    uint8_t before[32];
    std::memcpy(before, tf, 32);
    EXPECT_EQ(run(ii2::cref(1, 0)), 300540) << store;
    EXPECT_EQ(std::memcmp(before, tf, 32), 0) << store;
  }
}

// Every CALC here runs twice: the second run takes the statement's plan
// where it has one, and must leave the same target bytes and completion as
// the instructions did, also when the statement crosses a block's end and
// while the trace is on (the plan is then left alone).
TEST_F(IiCalc1, PlansGiveWhatTheInstructionsGive) {
  struct Case {
    const char* res;
    std::initializer_list<const char*> prog;
    bool planned;
  };
  const Case cases[] = {
      {"A", {"B"}, true},                 // a negative zero: the positive zero, scale kept
      {"A", {"C"}, false},                // scale byte 40: 300540
      {"A", {"D"}, false},                // a digit above 9: 300540
      {"A", {"B", "~"}, true},
      {"A", {"E", "#2", "*"}, true},      // 16 digits: the 15 highest at scale -1
      {"A", {"F", "F", "*", "F", "F", "*", "-", "#5", "+"}, true},  // past 64 bits and back
      {"A", {"G", "H", "I", "*", "+"}, true},
      {"A", {"J", "#4.0", "*"}, true},    // 10.000: trailing zeros dropped
      {"A", {"K", "K", "*", "L", "*"}, true},  // the multiply drops decimals
      {"A", {"K", "L", "-", "G", "~", "+"}, true},
      {"A", {"M", "#1", "+"}, true},      // 999999999999999 + 1: 10^15, at scale -1
      {"A", {"E", "E", "*"}, true},       // 30 digits: scale -15
      {"A", {"Q", "#1", "+"}, true},      // Q at scale -3: read at scale 0
      {"A", {"Q"}, false},                // a move of Q: the instructions
      {"A", {"R", "#1", "+"}, false},     // R at scale -40: 300540
      {"A", {"N", "O", "*", "~", "N", "O", "*", "+", "#7", "+"}, true},  // -(-2^63)
      {"A", {"N", "O", "*", "~", "N", "O", "*", "-"}, true},  // -(-2^63) - -2^63: 2^64
      {"A", {"S"}, false},                // a sign nibble of neither sign: 300540
      {"A", {"T", "U", "+"}, false},      // 10^31, past the stack's 31 digits: 300540
      {"A", {"M", "#10", "*", "#5", "+"}, true},  // 9999999999999995: rounded to 15 digits twice
      {"A", {"M", "P", "+"}, true},       // aligned past 64 bits, decimals dropped at the store
      {"A", {"G", "H", "+", "P", "-"}, true},
      // Division: 15 significant digits, rounded, trailing zeros dropped.
      {"A", {"H", "#4", "/"}, true},
      {"A", {"G", "H", "/"}, true},
      {"A", {"K", "#3", "/"}, true},
      {"A", {"L", "P", "/"}, true},
      {"A", {"I", "#7", "/", "#7", "*"}, true},
      {"A", {"F", "F", "*", "#7", "/"}, true},  // a dividend past 64 bits
      {"A", {"B", "#5", "/"}, true},            // a negative zero
      {"A", {"G", "#0", "/"}, true},            // by zero: 300540
      {"A", {"E", "P", "/"}, true},             // 10^27: 300540
      {"A", {"M", "M", "*", "#3", "/"}, true},  // past 10^17: 300540
      {"A", {"I", "J", "/", "~"}, true},
      // Four operands: T = T + X * Y / Z, and a chain.
      {"A", {"G", "H", "#3", "*", "#4", "/", "+"}, true},
      {"A", {"G", "K", "+", "L", "-", "#0.5", "+"}, true},
      {"A", {"M", "#2", "*", "#4", "/", "#1", "+"}, true},  // 16 digits before the division
      {"A", {"G", "H", "#0", "/", "+"}, true},                // by zero: 300540
  };
  auto setup = [&] {
    std::memset(dec[1], 0, 8);
    dec[1][7] = uint8_t(com.pd_neg);
    dec[1][8] = 2;
    set_dec(2, "12.5");
    dec[2][8] = 40;
    set_dec(3, "17");
    dec[3][5] = 0xA1;
    set_dec(4, "999999999999999");
    set_dec(5, "100000000000000");
    set_dec(6, "1.5");
    set_dec(7, "2.25");
    set_dec(8, "-3");
    set_dec(9, "2.50");
    set_dec(10, "12345678901234.5");
    set_dec(11, "-0.12345678901234");
    set_dec(12, "999999999999999");
    set_dec(13, "562949953421312");
    set_dec(14, "-16384");
    set_dec(15, "0.0000000000001");
    set_dec(16, "-123456789012345");
    dec[16][8] = uint8_t(-3);
    set_dec(17, "5");
    dec[17][8] = uint8_t(-40);
    set_dec(18, "5");
    dec[18][7] = uint8_t((dec[18][7] & 0xF0) | 0x0B);
    set_dec(19, "999999999999999");
    dec[19][8] = uint8_t(-16);
    set_dec(20, "1");
    dec[20][8] = uint8_t(-16);
    set_dec(0, "7");
  };
  FILE* trace = std::tmpfile();
  ASSERT_NE(trace, nullptr);
  for (int traced = 0; traced < 2; ++traced) {
    for (int p : {0, 497, 499, 500, 502}) {
      pad = p;
      for (const Case& c : cases) {
        setup();
        Twice t = calc_twice(c.res, c.prog, traced ? trace : nullptr);
        EXPECT_EQ(t.first, t.second);
        EXPECT_TRUE(t.same_bytes) << "pad " << p << " case " << (&c - cases);
        EXPECT_TRUE(t.same_trap) << "pad " << p << " case " << (&c - cases);
        uint64_t want = c.planned && !traced && !t.trapped ? 1 : 0;
        EXPECT_EQ(t.plan_runs, want) << "pad " << p << " case " << (&c - cases);
      }
    }
  }
  std::fclose(trace);
  // The values the rules give, by the instructions and again by the plan.
  pad = 0;
  setup();
  ASSERT_EQ(calc("A", {"B"}), 1);
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_EQ(dec_str(0), "0e-2");
  EXPECT_EQ(dec[0][7], uint8_t(com.pd_pos));
  struct Value {
    std::initializer_list<const char*> prog;
    const char* want;
  };
  const Value values[] = {
      {{"F", "F", "*", "F", "F", "*", "-", "#5", "+"}, "5e-0"},
      {{"J", "#4.0", "*"}, "10e-0"},
      {{"N", "O", "*", "~", "N", "O", "*", "+", "#7", "+"}, "7e-0"},
      {{"M", "P", "+"}, "999999999999999e-0"},
      {{"G", "H", "+", "P", "-"}, "37499999999999e-13"},
      {{"E", "#2", "*"}, "200000000000000e--1"},
      {{"M", "#1", "+"}, "100000000000000e--1"},
      {{"Q", "#1", "+"}, "-123456789012345e--3"},
      {{"G", "H", "/"}, "666666666666667e-15"},
      {{"H", "#4", "/"}, "5625e-4"},
      {{"K", "#3", "/"}, "41152263004115e-1"},
      {{"I", "J", "/", "~"}, "12e-1"},
      {{"G", "H", "#3", "*", "#4", "/", "+"}, "31875e-4"},  // 1.5 + 6.75 / 4
      {{"M", "#2", "*", "#4", "/", "#1", "+"}, "500000000000001e-0"},  // 499999999999999.5 kept in 15 digits
      {{"N", "O", "*", "~", "N", "O", "*", "-"}, "184467440737096e--5"},
      {{"M", "#10", "*", "#5", "+"}, "100000000000000e--2"},
  };
  for (const auto& [prog, want] : values) {
    ASSERT_EQ(calc("A", prog), 1);
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    EXPECT_EQ(dec_str(0), want);
  }
  EXPECT_EQ(calc("A", {"R", "#1", "+"}), 300540);
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
}

// Results at the bounds of 64 bits: products at 2^63 - 1, 2^63 and -2^63,
// a negation and a step past them, and sums whose operands aligned make
// INT64_MAX, INT64_MIN and one past each. The plan's run leaves the
// instructions' bytes, and the value is the exact one (a 128-bit oracle)
// kept in its 15 highest digits.
TEST_F(IiCalc1, ResultsAtTheBoundsOfSixtyFourBitsGiveWhatTheInstructionsGive) {
  using i128 = __int128;
  const i128 kMax = INT64_MAX;
  struct Case {
    std::initializer_list<const char*> prog;
    i128 m;  // the exact result at scale s
    int s;
  };
  const Case cases[] = {
      {{"#153092023", "#60247241209", "*"}, kMax, 0},
      {{"#4294967296", "#2147483648", "*"}, kMax + 1, 0},
      {{"#-4294967296", "#2147483648", "*"}, -kMax - 1, 0},
      {{"#-4294967296", "#2147483648", "*", "~"}, kMax + 1, 0},
      {{"#-4294967296", "#2147483648", "*", "#1", "-"}, -kMax - 2, 0},
      {{"#0", "#-4294967296", "#2147483648", "*", "-"}, kMax + 1, 0},
      {{"#922337203685477", "#0.5807", "+"}, kMax, 4},
      {{"#922337203685477", "#0.5808", "+"}, kMax + 1, 4},
      {{"#-922337203685477", "#0.5808", "-"}, -kMax - 1, 4},
      {{"#-922337203685477", "#0.5809", "-"}, -kMax - 2, 4},
  };
  for (const Case& c : cases) {
    // The 15 highest digits, rounded half away from zero (twice: a carry).
    i128 a = c.m < 0 ? -c.m : c.m;
    int s = c.s;
    for (int pass = 0; pass < 2; ++pass) {
      int d = 0;
      for (i128 x = a; x != 0; x /= 10) ++d;
      if (d <= 15) break;
      i128 p = 1;
      for (int k = 0; k < d - 15; ++k) p *= 10;
      a = a / p + (a % p * 2 >= p ? 1 : 0);
      s -= d - 15;
    }
    const std::string want = (c.m < 0 ? "-" : "") + std::to_string(int64_t(a)) + "e-" + std::to_string(s);
    Twice t = calc_twice("A", std::vector<const char*>(c.prog));
    EXPECT_TRUE(t.first == 1 && t.second == 1 && t.same_bytes && t.same_trap) << want;
    EXPECT_EQ(t.plan_runs, 1u) << want;
    EXPECT_EQ(dec_str(0), want);
  }
}

// A plan keeps the values it read and stored last; a field that changed
// since, in its scale byte alone, in one digit, or in what its sign nibble
// means, is read anew.
TEST_F(IiCalc1, PlansReadWhatTheFieldHoldsNow) {
  set_dec(1, "25");
  set_dec(2, "1");
  ASSERT_EQ(calc("A", {"B", "C", "+"}), 1);
  uint64_t runs = ii_math_plan_runs();
  auto again = [&](const char* want) {
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    EXPECT_EQ(dec_str(0), want);
  };
  again("26e-0");
  dec[1][8] = 2;  // 0.25
  again("125e-2");
  dec[1][8] = 0;
  dec[1][6] = 0x03;  // 35
  again("36e-0");
  EXPECT_EQ(ii_math_plan_runs() - runs, 3u);
  ASSERT_EQ(calc("A", {"B", "~"}), 1);
  again("-35e-0");
  dec[1][8] = 40;  // past 31: 300540
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  dec[1][8] = 0;
  // A move copies a scale byte of 31 and refuses one past it.
  ASSERT_EQ(calc("A", {"B"}), 1);
  again("35e-0");
  dec[1][8] = 31;
  again("35e-31");
  dec[1][8] = 32;
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  dec[1][8] = 0;
  // Sign nibble C now means negative: -35 + -1, as the instructions give.
  const uint8_t pos = com.pd_pos, neg = com.pd_neg;
  com.pd_pos = 0x0F;
  com.pd_neg = 0x0C;
  Twice t = calc_twice("A", {"B", "C", "+"});
  com.pd_pos = pos;
  com.pd_neg = neg;
  EXPECT_EQ(t.plan_runs, 1u);
  EXPECT_TRUE(t.same_bytes);
  EXPECT_EQ(dec[0][7], 0x6C);
}

// Another instruction changes a field after one statement read it and
// before the next reads it (a MOVE of other digits, of text, of the digits
// at scale 32 or with the other sign): the second statement reads what the
// field holds, planned as by the instructions.
TEST_F(IiCalc1, PlansReadWhatAMoveLeftInTheField) {
  uint32_t src_ira;
  uint8_t* src = field(9, &src_ira);
  auto fill = [&](int variant) {
    switch (variant) {
      case 0: ii2::set_pd(src, "3.7"); break;
      case 1: std::memcpy(src, "ABCDEFGHI", 9); break;
      case 2: ii2::set_pd(src, "25"); src[8] = 32; break;
      default: ii2::set_pd(src, "-25"); break;
    }
  };
  const char* want[] = {"47e-1", nullptr, nullptr, "-24e-0"};  // nullptr: 300540, trapped
  FILE* trace = std::tmpfile();
  ASSERT_NE(trace, nullptr);
  for (int variant = 0; variant < 4; ++variant) {
    restart();
    consts = 0;
    uint8_t* ov = bld_overflow(&m.code, ii2::no_code());
    emit_calc("A", {"B", "C", "+"});
    bld_ira(&m.code, dec_ira[1], 1);
    bld_ira(&m.code, src_ira, 2);
    bld_move_char(&m.code, 9);
    emit_calc("D", {"B", "C", "+"});
    end_trapped(ov);
    std::string first;
    uint64_t runs = ii_math_plan_runs();
    for (int pass = 0; pass < 3; ++pass) {  // by the instructions, then planned
      set_dec(1, "25");
      set_dec(2, "1");
      set_dec(3, "0");
      fill(variant);
      ii2::flags().clear();
      if (pass == 0) ii_set_trace(trace);
      ASSERT_EQ(run(ii2::cref(1, 0)), 1);
      ii_set_trace(nullptr);
      std::string got = dec_str(0) + " " + dec_str(3) + (ii2::flags().empty() ? "" : " trapped");
      if (pass == 0) first = got;
      EXPECT_EQ(got, first) << variant << " pass " << pass;
    }
    EXPECT_EQ(first, want[variant] ? "26e-0 " + std::string(want[variant]) : "26e-0 0e-0 trapped") << variant;
    EXPECT_GE(ii_math_plan_runs() - runs, want[variant] ? 2u : 1u) << variant;
  }
  std::fclose(trace);
}

// After a statement, address register 1 holds its last operand, as the
// instructions leave it: a MOVE after it that loads register 2 alone
// writes there.
TEST_F(IiCalc1, PlansLeaveAddressRegisterOneAtTheLastOperand) {
  uint32_t src_ira;
  uint8_t* src = field(9, &src_ira);
  const std::vector<std::vector<const char*>> progs = {{"B"}, {"B", "C", "+"}, {"B", "C", "~", "-"}};
  for (const auto& prog : progs) {
    restart();
    consts = 0;
    emit_calc("A", prog);
    bld_ira(&m.code, src_ira, 2);
    bld_move_char(&m.code, 9);
    end_trapped(nullptr);
    uint64_t runs = ii_math_plan_runs();
    for (int pass = 0; pass < 3; ++pass) {  // by the instructions, then planned
      set_dec(1, "25");
      set_dec(2, "1");
      ii2::set_pd(src, "7");
      ASSERT_EQ(run(ii2::cref(1, 0)), 1);
      EXPECT_EQ(dec_str(int(prog.size() == 1 ? 1 : 2)), "7e-0") << prog.size() << " pass " << pass;
    }
    EXPECT_EQ(ii_math_plan_runs() - runs, 2u) << prog.size();
  }
}

// A plan reads its constants when it is built; a constant whose bytes
// changed since (its scale byte alone, its digits, its scale byte, a digit
// above 9) or whose sign nibble now means the other sign is read anew, in
// every form.
TEST_F(IiCalc1, PlansReadWhatTheConstantsHoldNow) {
  set_dec(1, "25");
  set_dec(2, "4");
  const std::vector<std::vector<const char*>> progs = {
      {"B", "#3", "+"}, {"B", "#3", "C", "*", "-"}, {"B", "C", "#3", "*", "#2", "/", "+"}, {"B", "#3", "~", "*"}};
  // With the constant 3, 0.03, 1 and 0.01; then 3 with the sign nibbles
  // swapped (B, C and the constants all read negative: -28, -37, -31, -75,
  // read back here by the usual nibbles).
  const char* want[][5] = {{"28e-0", "2503e-2", "26e-0", "2501e-2", "28e-0"},
                           {"13e-0", "2488e-2", "21e-0", "2496e-2", "37e-0"},
                           {"31e-0", "2506e-2", "27e-0", "2502e-2", "31e-0"},
                           {"-75e-0", "-75e-2", "-25e-0", "-25e-2", "75e-0"}};
  FILE* trace = std::tmpfile();
  ASSERT_NE(trace, nullptr);
  for (size_t i = 0; i < progs.size(); ++i) {
    ASSERT_EQ(calc("A", progs[i]), 1);
    uint64_t runs = ii_math_plan_runs();
    auto again = [&](const char* w) {
      ASSERT_EQ(run(ii2::cref(1, 0)), 1);
      EXPECT_EQ(dec_str(0), w) << i;
    };
    again(want[i][0]);
    cnst[0][8] = 2;  // 0.03: the digits as the plan read them
    again(want[i][1]);
    cnst[0][8] = 0;
    ii2::set_pd(cnst[0], "1");
    again(want[i][2]);
    cnst[0][8] = 2;  // 0.01
    again(want[i][3]);
    cnst[0][8] = 0;
    cnst[0][6] = 0xA1;  // a digit above 9: 300540
    EXPECT_EQ(run(ii2::cref(1, 0)), 300540) << i;
    ii2::set_pd(cnst[0], "3");
    const uint8_t pos = com.pd_pos, neg = com.pd_neg;
    com.pd_pos = neg;
    com.pd_neg = pos;
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    std::string planned = dec_str(0);
    ii_set_trace(trace);  // the instructions alone
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    ii_set_trace(nullptr);
    std::string plain = dec_str(0);
    com.pd_pos = pos;
    com.pd_neg = neg;
    EXPECT_EQ(planned, want[i][4]) << i;
    EXPECT_EQ(plain, want[i][4]) << i;
    EXPECT_EQ(ii_math_plan_runs() - runs, 5u) << i;
  }
  std::fclose(trace);
  // A constant at a scale byte of 32 already when the plan is built, added
  // to 0 (no aligning shift refuses it): 300540 all the same.
  set_dec(1, "0");
  ASSERT_EQ(calc("A", progs[0]), 1);
  cnst[0][8] = 32;
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
}

// Two statements, Y before X, Y holding X's plan number (as when the
// numbers are given again once all are taken): Y runs its own
// instructions, never X's plan, and is planned anew; X keeps its plan.
TEST_F(IiCalc1, AStatementHoldingAnotherOnesPlanNumberRunsItsOwn) {
  set_dec(1, "25");
  restart();
  consts = 0;
  uint8_t* y = m.code.storage + m.code.offset;
  emit_calc("D", {"B", "#1", "-"});
  uint8_t* x = m.code.storage + m.code.offset;
  emit_calc("A", {"B", "#3", "+"});
  end_trapped(nullptr);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  ASSERT_NE(x[3] | x[7], 0);
  ASSERT_NE(y[3] | y[7] << 8, x[3] | x[7] << 8);
  y[3] = x[3];
  y[7] = x[7];
  for (int i = 0; i < 3; ++i) {
    set_dec(0, "0");
    set_dec(3, "0");
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    EXPECT_EQ(dec_str(3), "24e-0") << i;
    EXPECT_EQ(dec_str(0), "28e-0") << i;
  }
  EXPECT_NE(y[3] | y[7] << 8, x[3] | x[7] << 8);
}

// Y, X and Z in a row, Y's plan going on straight into X's. Z, run by
// itself, is planned again and again until it is given the number X's plan
// had: Y's next run goes on into X's own instructions (planned anew), not
// into Z's plan.
TEST_F(IiCalc1, AStepGoesOnIntoTheNextStatementsOwnPlanOnly) {
  set_dec(1, "25");
  restart();
  consts = 0;
  emit_calc("D", {"B", "#1", "-"});
  uint8_t* x = m.code.storage + m.code.offset;
  emit_calc("A", {"B", "#3", "+"});
  uint8_t* z = m.code.storage + m.code.offset;
  emit_calc("C", {"B", "#2", "*"});
  end_trapped(nullptr);
  auto no_of = [](const uint8_t* pc) { return pc[3] | pc[7] << 8; };
  // X planned first, then Y: the numbers given again reach X's before Y's.
  auto from = [&](const uint8_t* pc) { return run(ii2::cref(1, uint16_t(pc - m.code.storage))); };
  for (int i = 0; i < 2; ++i) ASSERT_EQ(from(x), 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  const int nx = no_of(x);
  ASSERT_NE(nx, 0);
  for (int i = 0; i <= 4096 && no_of(z) != nx; ++i) {
    z[3] = z[7] = 0;
    ASSERT_EQ(from(z), 1);
  }
  ASSERT_EQ(no_of(z), nx);
  for (int i = 0; i < 3; ++i) {
    for (int v : {0, 2, 3}) set_dec(v, "0");
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    EXPECT_EQ(dec_str(0), "28e-0") << i;
    EXPECT_EQ(dec_str(2), "50e-0") << i;
    EXPECT_EQ(dec_str(3), "24e-0") << i;
  }
  EXPECT_NE(no_of(x), nx);
}

// T = T + X, T = T - X and T = T + X * Y, X a variable or a constant, T's
// scale mostly X's (or X's and Y's together): the plan leaves the
// instructions' bytes. Values of 15 digits with sums and products at 15
// digits and one past (the store then keeps the 15 highest), both signs
// and zeros, scales of 0, 2, 15 and 31, and products with trailing zeros.
TEST_F(IiCalc1, AccumulationsGiveWhatTheInstructionsGive) {
  std::mt19937_64 rng(ii2::seed() + 43);
  auto u = [&](uint64_t n) { return rng() % n; };
  auto number = [&](int digits, int scale) {
    std::string t;
    for (int d = 0; d < digits; ++d) t += char('0' + (d == 0 && digits > 1 ? 1 + u(9) : u(10)));
    if (u(4) == 0) t = std::string(size_t(digits), '9');
    if (u(8) == 0) t = "0";
    while (int(t.size()) <= scale) t = "0" + t;
    if (scale > 0) t.insert(t.size() - size_t(scale), ".");
    return (u(3) == 0 ? "-" : "") + t;
  };
  static const int kScales[] = {0, 2, 15, 31};
  long planned = 0, n = ii2::cases(1500);
  for (long c = 0; c < n; ++c) {
    bool by = u(2) == 0;
    int sa = kScales[u(4)], sb = u(3) ? sa : kScales[u(4)], sc = 0;
    if (by) {  // scales that add up to T's, mostly
      sc = u(4) ? int(u(uint64_t(sa) + 1)) : kScales[u(4)];
      sb = u(4) ? std::max(0, sa - sc) : kScales[u(4)];
    }
    auto digits = [&](int scale) { return scale >= 15 ? int(1 + u(15)) : u(3) == 0 ? 15 : int(1 + u(14)); };
    std::string a = number(digits(sa), sa);
    std::string b = number(by ? int(1 + u(8)) : digits(sb), sb);
    std::string c3 = number(int(1 + u(8)), sc);
    if (by && sc < 31 && u(4) == 0) c3 += "0";  // a product with a trailing zero decimal
    set_dec(0, a.c_str());
    set_dec(1, b.c_str());
    set_dec(2, c3.c_str());
    std::string cnst = "#" + b;
    const char* op = u(2) ? "+" : "-";
    std::vector<const char*> prog = {"A", u(2) ? "B" : cnst.c_str()};
    if (by) prog.insert(prog.end(), {"C", "*"});
    prog.push_back(op);
    Twice t = calc_twice("A", prog);
    planned += t.plan_runs;
    std::string text = a + " " + op + " " + b + (by ? " * " + c3 : "");
    ASSERT_EQ(t.first, t.second) << text;
    ASSERT_TRUE(t.same_bytes) << text;
    ASSERT_TRUE(t.same_trap) << text;
  }
  EXPECT_GT(planned, n * 3 / 4);
}

// Counters, T = T + a constant: a last digit that carries and one that does
// not, the 15-digit bound, values below 0, T at another scale than the
// constant's, a constant of two digits; T with a first or middle digit
// nibble above 9, a sign nibble of neither sign, a scale byte of 32.
TEST_F(IiCalc1, CountersGiveWhatTheInstructionsGive) {
  uint64_t planned = 0;
  for (const char* a : {"0", "8", "9", "19", "90", "-5", "-1", "999999999999990", "999999999999999", "0.08", "12.5",
                        "!0", "!3", "!7", "!8"})
    for (const char* k : {"#1", "#9", "#10", "#-1"}) {
      set_dec(0, "21");
      if (a[0] == '!') {  // bytes no valid value has
        int at = a[1] - '0';
        if (at == 8) dec[0][8] = 32;
        else dec[0][at] = at == 7 ? uint8_t((dec[0][7] & 0xF0) | 0x0B) : uint8_t(0xA0 | (dec[0][at] & 0x0F));
      } else {
        set_dec(0, a);
      }
      Twice t = calc_twice("A", {"A", k, "+"});
      planned += t.plan_runs;
      ASSERT_EQ(t.first, t.second) << a << " + " << k;
      ASSERT_TRUE(t.same_bytes) << a << " + " << k;
      ASSERT_TRUE(t.same_trap) << a << " + " << k;
    }
  EXPECT_GE(planned, 30u);
  // Run again with T's entry in the cache holding other bytes (as a write
  // that passed the cache leaves it): a read of T after it gives T + k all
  // the same.
  ASSERT_EQ(calc_twice("A", {"A", "#1", "+"}).second, 1);
  set_dec(0, "8");
  ii_vc_enter(dec[0], pacdec::bcd_mem_signed(5, com.pd_pos), 5, 0, ii_vc_pair());
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  int64_t v;
  int sc;
  ASSERT_TRUE(ii_vc_read(dec[0], ii_vc_pair(), v, sc));
  EXPECT_EQ(v, 9);
  EXPECT_EQ(sc, 0);
  // The counter planned by these sign nibbles, run with them swapped: the
  // constant reads -1 now, as the instructions read it.
  FILE* trace = std::tmpfile();
  ASSERT_NE(trace, nullptr);
  const uint8_t pos = com.pd_pos, neg = com.pd_neg;
  com.pd_pos = neg;
  com.pd_neg = pos;
  uint8_t bytes[2][9];
  for (int traced = 0; traced < 2; ++traced) {  // the plan, then the instructions alone
    set_dec(0, "5");
    if (traced) ii_set_trace(trace);
    EXPECT_EQ(run(ii2::cref(1, 0)), 1);
    ii_set_trace(nullptr);
    std::memcpy(bytes[traced], dec[0], 9);
  }
  com.pd_pos = pos;
  com.pd_neg = neg;
  std::fclose(trace);
  EXPECT_EQ(0, std::memcmp(bytes[0], bytes[1], 9));
}

// A copy A = B whose target the next statement reads (C = A + 1): from the
// second run on, the copy enters A in the value cache, and the read finds it;
// the bytes as the instructions leave them for B below 0, at a scale of 31,
// at 15 digits, zero of either sign, and bytes no valid value has (a digit
// nibble above 9, a scale byte of 32: the instructions decide).
TEST_F(IiCalc1, ACopyReadNextIsFoundInTheValueCache) {
  for (const char* b : {"12.5", "-7", "0.0000000000000000000000000000001", "999999999999999", "0", "-0", "!3", "!8"}) {
    restart();
    consts = 0;
    emit_calc("A", {"B"});
    emit_calc("C", {"A", "#1", "+"});
    end_trapped(nullptr);
    set_dec(1, "5");
    if (b[0] == '!') dec[1][b[1] - '0'] = b[1] == '8' ? 32 : 0xA0;
    else if (std::string(b) == "-0") dec[1][7] = com.pd_neg;  // (digits 0)
    else set_dec(1, b);
    uint8_t before[27], after[27];
    set_dec(0, "3");
    set_dec(2, "4");
    for (int i = 0; i < 3; ++i) std::memcpy(before + 9 * i, dec[i], 9);
    ii2::flags().clear();
    int first = run(ii2::cref(1, 0));
    bool trapped = !ii2::flags().empty();
    for (int i = 0; i < 3; ++i) std::memcpy(after + 9 * i, dec[i], 9);
    for (int i = 0; i < 3; ++i) std::memcpy(dec[i], before + 9 * i, 9);
    ii2::flags().clear();
    ii_vc_clear();
    int64_t v;
    int sc;
    ii_vc_read(dec[1], ii_vc_pair(), v, sc);  // B's entry, not A's
    uint64_t runs = ii_math_plan_runs(), misses = ii_vc_counts().misses;
    ASSERT_EQ(run(ii2::cref(1, 0)), first) << b;
    EXPECT_EQ(!ii2::flags().empty(), trapped) << b;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, std::memcmp(after + 9 * i, dec[i], 9)) << b << " " << i;
    if (b[0] == '!') continue;
    const bool tiny = b[1] == '.';  // (A + 1 then needs 32 digits: the instructions' to decide)
    EXPECT_EQ(ii_math_plan_runs() - runs, tiny ? 1u : 2u) << b;
    if (!tiny) {
      EXPECT_EQ(ii_vc_counts().misses, misses) << b;  // A's read found the copy's entry
    }
  }
}

// Random statements of +, -, *, / and negation over values of every size
// and scale, a fourth of the operands constants: the plan's second run
// leaves the instructions' bytes.
TEST_F(IiCalc1, PlansGiveWhatTheInstructionsGiveAtRandom) {
  std::mt19937_64 rng(ii2::seed() + 41);
  auto u = [&](uint64_t n) { return rng() % n; };
  static const char* const kVars[] = {"B", "C", "D", "E", "F", "G", "H", "I", "J", "K"};
  long planned = 0, n = ii2::cases(3000);
  // In a third of the statements the values are short or divide evenly
  // (by 2, 4, 5, 8, 16, 25 at scales of 0-3), now and then against a value
  // of 15 digits: quotients exact in 15 digits, or one digit past them.
  static const char* const kEven[] = {"2", "4", "5", "8", "16", "25", "0.5", "0.25", "1.6", "0.08", "-4", "-0.2"};
  for (long c = 0; c < n; ++c) {
    bool even = u(3) == 0;
    std::string text_of[11];
    for (int k = 1; k <= 10; ++k) {
      if (even && u(2) == 0) {
        text_of[k] = kEven[u(12)];
        set_dec(k, text_of[k].c_str());
        continue;
      }
      int digits = even ? (u(4) == 0 ? 15 : 1 + int(u(4))) : 1 + int(u(15));
      std::string t = u(3) == 0 ? "-" : "";
      for (int d = 0; d < digits; ++d) t += char('0' + (d == 0 && digits > 1 ? 1 + u(9) : u(10)));
      int scale = u(3) == 0 ? 0 : int(u(std::min<uint64_t>(uint64_t(digits) + 1, 16)));
      if (scale > 0 && scale < digits) t.insert(t.size() - size_t(scale), ".");
      else if (scale > 0) t = (t[0] == '-' ? "-0." : "0.") + std::string(size_t(scale - digits), '0') + t.substr(t[0] == '-');
      set_dec(k, t.c_str());
      text_of[k] = t;
    }
    auto leaf = [&] {
      int k = int(u(10));
      return u(4) == 0 ? "#" + text_of[k + 1] : std::string(kVars[k]);
    };
    ASSERT_TRUE(same_twice("A", postfix(u, 1 + int(u(6)), 6, 3, leaf), &planned));
  }
  EXPECT_GT(planned, n / 2);
}

// Statements over binary fields, into A or AI: operands of 32 bits at and
// one past their bounds mostly, against packed values and constants; a
// result into AI rounded and at and one past the word's bounds. The plan's
// second run leaves the instructions' bytes.
TEST_F(IiCalc1, BinaryOperandsAndTargetsGiveWhatTheInstructionsGive) {
  std::mt19937_64 rng(ii2::seed() + 43);
  auto u = [&](uint64_t n) { return rng() % n; };
  static const char* const kInts[] = {"BI", "CI", "DI", "EI"};
  static const char* const kDecs[] = {"B", "C"};
  static const int64_t kBounds[] = {INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1, 0, 1, -1, 46341, -46341};
  // Packed values that put a result at a word's bound, one past it, or half
  // a unit from a rounding.
  static const char* const kDec[] = {"2147483647", "2147483648", "-2147483648", "-2147483649", "0.5", "-0.5",
                                     "2147483647.49", "2147483647.5", "-2147483648.5", "-2147483648.49", "1.25", "3"};
  // Products at 19 decimals, of 0.56 and 0.46 (the word's rounding past
  // 64-bit powers of ten), and at 20 (a product of two units of 10^-10).
  struct Fixed {
    const char *b, *c;
    int32_t want;
  } fixed[] = {{"0.7000000001", "0.800000001", 1},
               {"-0.7000000001", "0.800000001", -1},
               {"0.5000000001", "0.920000001", 0},
               {"0.0000000001", "0.0000000001", 0}};
  for (const Fixed& f : fixed) {
    set_dec(1, f.b);
    set_dec(2, f.c);
    Twice t = calc_twice("AI", {"B", "C", "*"});
    EXPECT_EQ(t.first, 1) << f.b;
    EXPECT_TRUE(t.same_bytes && t.plan_runs == 1) << f.b;
    EXPECT_EQ(int32_t(rec::view<rec::U32>(ints[0]).get()), f.want) << f.b;
  }
  long planned = 0, n = ii2::cases(3000);
  for (long c = 0; c < n; ++c) {
    for (int k = 1; k <= 4; ++k)
      set_int(k, int32_t(u(2) ? kBounds[u(std::size(kBounds))] : int64_t(u(2001)) - 1000));
    set_int(0, int32_t(u(2001)) - 1000);
    std::string text_of[3];
    for (int k = 1; k <= 2; ++k) {
      text_of[k] = kDec[u(std::size(kDec))];
      set_dec(k, text_of[k].c_str());
    }
    auto leaf = [&] {
      uint64_t k = u(8);
      return k < 5 ? std::string(kInts[u(4)]) : k < 6 ? std::string(kDecs[u(2)]) : k < 7 ? "#" + text_of[1 + u(2)] : "#2";
    };
    int len = int(u(4));
    ASSERT_TRUE(same_twice(u(4) ? "AI" : "A", postfix(u, len, 5, 4, leaf), &planned));
  }
  EXPECT_GT(planned, n / 2);
}

}  // namespace
