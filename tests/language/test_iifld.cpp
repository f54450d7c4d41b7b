// The field family's settings on hand-assembled code, each against a model
// of its own on 128-bit integers: binary to binary (a digit at a time),
// packed to binary and binary to packed, over random lengths, signs, scales
// and values with the range edges; and the smaller field instructions.
#include <algorithm>
#include <random>
#include <string>

#include "foundation/bi.h"
#include "foundation/pd.h"
#include "language/ibfld.h"
#include "language/ibtst.h"
#include "language/ii2_fix.h"

namespace {

using i128 = __int128;

class IiFld : public ii2::TwoFields {
 protected:
  // A binary of len bytes (1, 2, 4) and its value.
  static void put_bin(uint8_t* p, int len, int64_t v) {
    for (int i = 0; i < len; ++i) p[i] = uint8_t(uint64_t(v) >> (8 * i));
  }
  static int64_t get_bin(const uint8_t* p, int len, bool sg) {
    uint64_t u = 0;
    for (int i = 0; i < len; ++i) u |= uint64_t(p[i]) << (8 * i);
    if (sg && (u >> (8 * len - 1)) & 1) return int64_t(u) - (int64_t(1) << (8 * len));
    return int64_t(u);
  }
  // The stored range of a binary target: what fits, as the model sees it.
  static bool fits_bin(int len, bool sg, i128 v) {
    i128 mag = v < 0 ? -v : v;
    if (!sg && v < 0) return false;
    i128 max = len == 1 ? (sg ? 127 : 255) : len == 2 ? (sg ? 32767 : 65535) : (sg ? 0x7FFFFFFFll : 0xFFFFFFFFll);
    return mag <= max;
  }
  static i128 p10(int n) {
    i128 r = 1;
    while (n-- > 0) r *= 10;
    return r;
  }
  // Rounds v / 10^n half away from zero.
  static i128 round_down(i128 v, int n) {
    i128 d = p10(n), m = v < 0 ? -v : v;
    i128 q = m / d + (m % d * 2 >= d ? 1 : 0);
    return v < 0 ? -q : q;
  }
  // A packed value of len bytes holding v (the test writes it digit by digit).
  static void put_pd(uint8_t* p, int len, i128 v) {
    bool neg = v < 0;
    i128 m = neg ? -v : v;
    std::memset(p, 0, size_t(len));
    p[len - 1] = neg ? 0x0D : 0x0C;
    for (int nib = 2 * len - 2; nib >= 0 && m > 0; --nib, m /= 10) {
      int d = int(m % 10);
      int byte = nib / 2;
      if (nib % 2 == 0) p[byte] = uint8_t(p[byte] | d << 4);
      else p[byte] = uint8_t(p[byte] | d);
    }
  }
  static bool get_pd(const uint8_t* p, int len, i128* v) {
    i128 m = 0;
    for (int nib = 0; nib < 2 * len - 1; ++nib) {
      int d = nib % 2 == 0 ? p[nib / 2] >> 4 : p[nib / 2] & 15;
      if (d > 9) return false;
      m = m * 10 + d;
    }
    int s = p[len - 1] & 15;
    *v = s == 0x0D ? -m : m;
    return s == 0x0C || s == 0x0D;
  }
  std::mt19937_64 rng{ii2::seed()};
  int64_t any_value(int len, bool sg) {
    std::uniform_int_distribution<int> pick(0, 5);
    int64_t lo = sg ? -(int64_t(1) << (8 * len - 1)) : 0, hi = sg ? (int64_t(1) << (8 * len - 1)) - 1 : (int64_t(1) << (8 * len)) - 1;
    switch (pick(rng)) {
      case 0: return lo;
      case 1: return hi;
      case 2: return std::clamp<int64_t>(std::uniform_int_distribution<int64_t>(-300, 300)(rng), lo, hi);
      default: return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
    }
  }
};

// SET_BIN_TO_BIN: the scale difference a digit at a time (each step
// rounding: 1.49 is 15 tenths, then 2), stored by the target's range, the
// target unchanged and 300540 when it does not fit.
TEST_F(IiFld, BinToBinAgainstTheModel) {
  const int lens[] = {1, 2, 4};
  for (long n = 0; n < ii2::cases(4000); ++n) {
    int sl = lens[rng() % 3], tl = lens[rng() % 3];
    bool ss = rng() % 2, ts = rng() % 2;
    int sscale = int(rng() % 4), tscale = int(rng() % 4);
    int64_t v = any_value(sl, ss);
    i128 mg = v < 0 ? -i128(v) : i128(v);
    bool ok = true;
    for (int d = tscale - sscale; d != 0 && ok; d += d > 0 ? -1 : 1) {
      if (d > 0) ok = mg <= 429496729, mg *= 10;
      else mg = mg / 10 + (mg % 10 > 4 ? 1 : 0);
    }
    i128 want = v < 0 ? -mg : mg;
    ok = ok && fits_bin(tl, ts, want);
    std::memset(fa, 0xA5, 4);
    put_bin(fb, sl, v);
    int rc = go([&] { bld_set_bin_to_bin(&m.code, uint16_t(tl), ts, uint16_t(tscale), uint16_t(sl), ss, uint16_t(sscale)); });
    std::string what = std::to_string(v) + " " + std::to_string(sl) + (ss ? "s" : "u") + "/" + std::to_string(sscale) +
                       " -> " + std::to_string(tl) + (ts ? "s" : "u") + "/" + std::to_string(tscale);
    if (ok) {
      ASSERT_EQ(rc, 1) << what;
      ASSERT_EQ(i128(get_bin(fa, tl, ts)), want) << what;
    } else {
      ASSERT_NE(rc, 1) << what;
      ASSERT_EQ(last_err(), 300540u) << what;
      ASSERT_EQ(fa[0], 0xA5) << what;
    }
  }
}

// SET_PD_TO_BIN from fixed and variable packed sources (one rounding half
// away from zero), and SET_BIN_TO_PD into fixed and variable targets; now
// and then with scales 15, 16, 31 and 32 apart, negative zeros, and values
// at a packed target's digits and one past.
TEST_F(IiFld, PackedAndBinaryAgainstTheModel) {
  const int lens[] = {1, 2, 4};
  const int far[] = {15, 16, 31, 32, -15, -16, -31, -32};
  // Scales apart by one of far (the larger at most 40), else small ones.
  auto scales = [&](int* from, int* to, int small_from) {
    if (rng() % 6) {
      *from = int(rng() % uint64_t(small_from)), *to = int(rng() % 4);
      return;
    }
    int d = far[rng() % 8], base = int(rng() % 9);
    *from = d > 0 ? base : base - d;
    *to = d > 0 ? base + d : base;
  };
  for (long n = 0; n < ii2::cases(4000); ++n) {
    // Packed into binary.
    bool var = rng() % 2;
    int plen = var ? 9 : int(1 + rng() % 10), digits = 2 * (var ? 8 : plen) - 1;
    int sscale, tscale;
    scales(&sscale, &tscale, var ? 6 : 4);
    int nd = int(rng() % (digits + 1));
    i128 v = 0;
    for (int i = 0; i < nd; ++i) v = v * 10 + i128(rng() % 10);
    if (rng() % 2) v = -v;
    if (rng() % 8 == 0 && digits >= 10 + sscale) v = (rng() % 2 ? 4294967295ll : 4294967296ll) * p10(sscale);
    int tl = lens[rng() % 3];
    bool ts = rng() % 2;
    // (Up by more than 18 places a value of 19 digits at most passes 10^19.)
    bool huge = v != 0 && tscale - sscale > 18;
    i128 want = huge ? 0 : tscale >= sscale ? v * p10(tscale - sscale) : round_down(v, sscale - tscale);
    i128 mag = want < 0 ? -want : want;
    // (A source scale is -31..31.)
    bool ok = !huge && mag < p10(10) && mag <= 4294967295ll && fits_bin(tl, ts, want) && sscale <= 31;
    std::memset(fa, 0xA5, 4);
    put_pd(fb, var ? 8 : plen, v);
    if (v == 0 && rng() % 2) fb[(var ? 8 : plen) - 1] |= 0x0D;  // a negative zero
    if (var) fb[8] = uint8_t(sscale);
    int rc = go([&] {
      bld_set_pd_to_bin(&m.code, uint16_t(tl), ts, uint16_t(tscale), var, uint16_t(plen), uint16_t(var ? 0 : sscale));
    });
    std::string what = std::to_string(int64_t(v)) + "/" + std::to_string(sscale) + (var ? " var" : " fix") + " -> " +
                       std::to_string(tl) + (ts ? "s/" : "u/") + std::to_string(tscale);
    if (ok) {
      ASSERT_EQ(rc, 1) << what;
      ASSERT_EQ(i128(get_bin(fa, tl, ts)), want) << what;
    } else {
      ASSERT_NE(rc, 1) << what;
      ASSERT_EQ(last_err(), 300540u) << what;
      ASSERT_EQ(fa[0], 0xA5) << what;
    }
    // Binary into packed.
    int sl = lens[rng() % 3];
    bool ss = rng() % 2;
    int64_t b = any_value(sl, ss);
    int bscale, pscale;
    scales(&bscale, &pscale, 4);
    bool vt = rng() % 2;
    int tlen = vt ? int(2 + rng() % 9) : int(1 + rng() % 9);
    if (rng() % 4 == 0) {  // the target's digits at a scale of 0, or one past
      i128 lim = p10(2 * (vt ? tlen - 1 : tlen) - 1);
      i128 w = rng() % 2 ? lim - 1 : lim;
      if (w <= 4294967295ll && (ss || rng() % 2 == 0)) {
        b = int64_t(ss && w > 2147483647 ? 2147483647 : w) * (ss && rng() % 2 ? -1 : 1);
        bscale = pscale;
        sl = 4;
      }
    }
    // (A word up by more than 20 places passes any packed target.)
    bool past = !vt && b != 0 && pscale - bscale > 20;
    i128 pw = vt || past ? i128(b) : pscale >= bscale ? i128(b) * p10(pscale - bscale) : round_down(b, bscale - pscale);
    i128 pm = pw < 0 ? -pw : pw;
    bool pok = !past && pm < p10(2 * (vt ? tlen - 1 : tlen) - 1);
    std::memset(fa, 0xA5, 16);
    put_bin(fb, sl, b);
    rc = go([&] { bld_set_bin_to_pd(&m.code, uint16_t(sl), ss, uint16_t(bscale), vt, uint16_t(tlen), uint16_t(pscale)); });
    what = std::to_string(b) + " " + std::to_string(sl) + (ss ? "s/" : "u/") + std::to_string(bscale) + " -> " +
           std::to_string(tlen) + (vt ? " var/" : " fix/") + std::to_string(pscale);
    if (pok) {
      ASSERT_EQ(rc, 1) << what;
      i128 got;
      ASSERT_TRUE(get_pd(fa, vt ? tlen - 1 : tlen, &got)) << what;
      ASSERT_EQ(got, pw) << what;
      if (vt) {
        ASSERT_EQ(fa[tlen - 1], bscale) << what;
      }
    } else {
      ASSERT_NE(rc, 1) << what;
      ASSERT_EQ(fa[0], 0xA5) << what;
    }
  }
}

// The moves between packed forms (MOVE_FIX_VAR, MOVE_VAR_FIX, MOVE_PD,
// MOVE_PD_SHFT) and between binary and fixed packed, at each fixed length
// 1-8: the target's largest value and one past, scales up and down by 1,
// 2, 15 and 16 (a half rounding away from zero), negatives, zeros of both
// signs (a zero is written positive) and bytes that are no value; a move
// the model refuses leaves the target as it was and gives 300540.
TEST_F(IiFld, PackedFormsAtEachLengthAgainstTheModel) {
  auto lim = [](int len) { return p10(2 * len - 1); };  // magnitudes of len bytes stay below
  // Sources shifted k places into tl bytes: the largest that fits and one
  // past, a half at the digit dropped and one below, 0, 1, random ones;
  // either sign.
  auto sources = [&](int tl, int k) {
    std::vector<i128> v = {0, 1};
    if (k >= 0) {
      i128 top = (lim(tl) - 1) / p10(k);
      v.insert(v.end(), {top, top + 1});
    } else {
      i128 half = 5 * p10(-k - 1), top = (lim(tl) - 1) * p10(-k) + half - 1;
      v.insert(v.end(), {top, top + 1, half, half - 1});
    }
    for (int i = 0; i < 3; ++i) v.push_back(i128(rng() % 1000000000000000ULL) / p10(int(rng() % 15)));
    for (size_t i = 0, n = v.size(); i < n; ++i) v.push_back(-v[i]);
    return v;
  };
  auto shifted = [&](i128 v, int k) { return k >= 0 ? v * p10(k) : round_down(v, -k); };
  auto fits = [&](i128 v, int len) { return (v < 0 ? -v : v) < lim(len); };
  // A source of len bytes holding v, now and then a bad sign nibble, a
  // digit past 9, or a zero's negative sign: whether it is a value.
  auto source = [&](int len, i128 v) {
    put_pd(fb, len, v);
    switch (rng() % 8) {
      case 0: fb[len - 1] = uint8_t((fb[len - 1] & 0xF0) | 0xB); return false;
      case 1: fb[rng() % uint64_t(len)] |= 0xA0; return false;
      case 2:
        if (v == 0) fb[len - 1] = 0x0D;
        return true;
      default: return true;
    }
  };
  auto run = [&](int rc, bool ok, const uint8_t* want, const std::string& what) {
    ASSERT_EQ(rc, ok ? 1 : 300540) << what;
    auto hex = [](const uint8_t* p) {
      std::string h;
      for (int i = 0; i < 16; ++i) h += "0123456789ABCDEF"[p[i] >> 4], h += "0123456789ABCDEF"[p[i] & 15];
      return h;
    };
    ASSERT_EQ(hex(fa), hex(want)) << what;
  };
  for (int tl = 1; tl <= 8; ++tl)
    for (int k : {-16, -15, -2, -1, 0, 1, 2, 15, 16})
      for (i128 v : sources(tl, k)) {
        i128 w = shifted(v, k);
        std::string what = std::to_string(int64_t(v)) + " by " + std::to_string(k) + " into " + std::to_string(tl);
        uint8_t want[16];
        auto expect = [&](bool ok, int len, i128 x) {
          std::memset(want, 0x77, 16);
          std::memset(fa, 0x77, 16);
          if (ok) put_pd(want, len, x);
        };
        // A variable source (its scale byte below 0 now and then) into a
        // fixed target.
        if (fits(v, 8)) {
          int from = k < 0 ? -k : rng() % 4 ? int(rng() % 3) : -k;
          bool ok = source(8, v) && fits(w, tl);
          fb[8] = uint8_t(int8_t(from));
          expect(ok, tl, w);
          run(go([&] { bld_move_fix_var(&m.code, uint16_t(tl), uint16_t(from + k)); }), ok, want, "fix_var " + what);
        }
        // A fixed source of 1-8 bytes into the fixed target.
        int sl = 1 + int(rng() % 8);
        if (fits(v, sl)) {
          bool ok = source(sl, v) && fits(w, tl);
          expect(ok, tl, w);
          run(go([&] { k ? bld_move_pd_shft(&m.code, uint32_t(sl), uint32_t(tl), k) : bld_move_pd(&m.code, uint16_t(sl), uint16_t(tl)); }),
              ok, want, "pd_shft " + what + " from " + std::to_string(sl));
        }
        // The target's length as the source of a variable value.
        if (k == 0 && fits(v, tl)) {
          bool ok = source(tl, v);
          uint8_t sc = uint8_t(rng() % 32);
          expect(ok, 8, v);
          if (ok) want[8] = sc;
          run(go([&] { bld_move_var_fix(&m.code, sc, uint8_t(tl)); }), ok, want, "var_fix " + what);
        }
        // A signed word into the fixed target, and the target's length
        // into a signed word, each at k more decimals.
        int from = k < 0 ? -k : int(rng() % 3);
        if (v >= INT32_MIN && v <= INT32_MAX) {
          put_bin(fb, 4, int64_t(v));
          expect(fits(w, tl), tl, w);
          run(go([&] { bld_set_bin_to_pd(&m.code, 4, true, uint16_t(from), false, uint16_t(tl), uint16_t(from + k)); }),
              fits(w, tl), want, "bin_to_pd " + what);
        }
        if (fits(v, tl)) {
          bool ok = source(tl, v) && fits_bin(4, true, w);
          std::memset(fa, 0x77, 16);
          std::memset(want, 0x77, 16);
          if (ok) put_bin(want, 4, int64_t(w));
          run(go([&] { bld_set_pd_to_bin(&m.code, 4, true, uint16_t(from + k), false, uint16_t(tl), uint16_t(from)); }),
              ok, want, "pd_to_bin " + what);
        }
      }
  // A variable source read again at the same place after its bytes changed
  // by hand (its sign, a digit, its scale byte, a digit past 9) gives what
  // the bytes hold now.
  auto word = [&](uint16_t tscale) {
    std::memset(fa, 0x77, 4);
    int rc = go([&] { bld_set_pd_to_bin(&m.code, 4, true, tscale, true, 9, 0); });
    return rc == 1 ? std::to_string(get_bin(fa, 4, true)) : "E" + std::to_string(last_err());
  };
  put_pd(fb, 8, 12345);
  fb[8] = 2;
  EXPECT_EQ(word(2), "12345");
  EXPECT_EQ(word(2), "12345");
  fb[7] = 0x5D;
  EXPECT_EQ(word(2), "-12345");
  fb[6] = 0x44;
  EXPECT_EQ(word(2), "-12445");
  fb[8] = 3;
  EXPECT_EQ(word(2), "-1245");
  fb[6] = 0x4A;
  EXPECT_EQ(word(2), "E300540");
  // Scales past 31: a fixed source's is refused whatever the shift.
  put_pd(fb, 3, 12345);
  EXPECT_EQ(go([&] { bld_set_pd_to_bin(&m.code, 4, true, 40, false, 3, 35); }), 300540);
  EXPECT_EQ(go([&] { bld_set_pd_to_bin(&m.code, 4, true, 31, false, 3, 32); }), 300540);
}

// The edges: -128 into a signed byte is refused, 127 and -127 are stored;
// 4,294,967,295 from packed into an unsigned word is stored, one more and
// 11 digits are refused; 1.49 to scale 0 a digit at a time is 2.
TEST_F(IiFld, RangeEdges) {
  auto pd_to_bin = [&](i128 v, int len, bool sg) {
    put_pd(fb, 8, v);
    std::memset(fa, 0xA5, 4);
    int rc = go([&] { bld_set_pd_to_bin(&m.code, uint16_t(len), sg, 0, false, 8, 0); });
    return rc == 1 ? std::to_string(get_bin(fa, len, sg)) : "E" + std::to_string(last_err());
  };
  EXPECT_EQ(pd_to_bin(-128, 1, true), "E300540");
  EXPECT_EQ(pd_to_bin(-127, 1, true), "-127");
  EXPECT_EQ(pd_to_bin(127, 1, true), "127");
  EXPECT_EQ(pd_to_bin(255, 1, false), "255");
  EXPECT_EQ(pd_to_bin(-1, 1, false), "E300540");
  EXPECT_EQ(pd_to_bin(-32768, 2, true), "E300540");
  EXPECT_EQ(pd_to_bin(4294967295ll, 4, false), "4294967295");
  EXPECT_EQ(pd_to_bin(4294967296ll, 4, false), "E300540");
  EXPECT_EQ(pd_to_bin(10000000000ll, 4, false), "E300540");
  EXPECT_EQ(pd_to_bin(2147483647, 4, true), "2147483647");
  EXPECT_EQ(pd_to_bin(-2147483648ll, 4, true), "E300540");
  put_bin(fb, 2, 149);
  ASSERT_EQ(go([&] { bld_set_bin_to_bin(&m.code, 2, true, 0, 2, true, 2); }), 1);
  EXPECT_EQ(get_bin(fa, 2, true), 2);
  put_bin(fb, 2, -149);
  ASSERT_EQ(go([&] { bld_set_bin_to_bin(&m.code, 2, true, 0, 2, true, 2); }), 1);
  EXPECT_EQ(get_bin(fa, 2, true), -2);
}

// RND_UINT32B (an exact half rounds down), PD_TO_LOG, APPEND, SET_TEMP.
TEST_F(IiFld, SmallerInstructions) {
  auto rnd = [&](uint32_t v, uint32_t d) {
    int rc = go([&] {
      // The work value is set by a CMPRS-free path: ALP_TO_BIN of the text at b.
      std::string t = std::to_string(v);
      std::memset(fb, ' ', 12);
      std::memcpy(fb, t.data(), t.size());
      bld_alp_to_bin(&m.code, 12, 0, 0, false);
      bld_rnd_uint32b(&m.code, d);
      bld_cmprs_bin(&m.code, 4, false);
    });
    return rc == 1 ? std::to_string(get_bin(fa, 4, false)) : "E" + std::to_string(last_err());
  };
  EXPECT_EQ(rnd(25, 10), "2");
  EXPECT_EQ(rnd(26, 10), "3");
  EXPECT_EQ(rnd(15, 10), "1");
  EXPECT_EQ(rnd(7, 0), "E300540");
  // PD_TO_LOG: a variable 0 at any scale is '0'; an invalid value 300540.
  put_pd(fb, 8, 0);
  fb[8] = 7;
  ASSERT_EQ(go([&] { bld_pd_to_log(&m.code, 8, false, 0); }), 1);
  EXPECT_EQ(fa[0], '0');
  put_pd(fb, 3, -5);
  ASSERT_EQ(go([&] { bld_pd_to_log(&m.code, 3, true, 2); }), 1);
  EXPECT_EQ(fa[0], '1');
  fb[2] = 0x1A;
  EXPECT_NE(go([&] { bld_pd_to_log(&m.code, 3, true, 2); }), 1);
  EXPECT_EQ(last_err(), 300540u);
  // APPEND: a blank target takes the blanks first; a short room cuts.
  auto app = [&](const char* t, const char* s, int tl, int blanks) {
    std::memset(fa, ' ', 32);
    std::memcpy(fa, t, std::strlen(t));
    std::memcpy(fb, s, std::strlen(s));
    EXPECT_EQ(go([&] { bld_append(&m.code, uint16_t(tl), uint16_t(std::strlen(s)), uint8_t(blanks)); }), 1);
    return std::string(reinterpret_cast<char*>(fa), size_t(tl));
  };
  EXPECT_EQ(app("", "ABC", 6, 1), " ABC  ");
  EXPECT_EQ(app("XY", "ABCDEF", 6, 1), "XY ABC");
  EXPECT_EQ(app("XYZAB", "ABC", 6, 2), "XYZAB ");  // two blanks do not fit the one left
  EXPECT_EQ(app("XYZABC", "Q", 6, 0), "XYZABC");
  // The text's end found on each side of an 8-byte word (an inner blank
  // kept), against the rule written out.
  for (int tl : {7, 8, 9, 15, 16, 17})
    for (int len = 0; len <= tl; ++len) {
      std::string t(size_t(len), 'X');
      if (len > 2) t[1] = ' ';
      std::string want = t;
      if (tl - len >= 1) want = (t + " AB").substr(0, size_t(tl));
      want.resize(size_t(tl), ' ');
      EXPECT_EQ(app(t.c_str(), "AB", tl, 1), want) << tl << " " << len;
    }
  // APPENDFIX: the common block's fill character between; a target whose
  // first three bytes are blank takes the source at its start.
  auto fix = [&](const char* t, const char* src, int tl, int seps) {
    std::memset(fa, ' ', 32);
    std::memcpy(fa, t, std::strlen(t));
    std::memcpy(fb, src, std::strlen(src));
    EXPECT_EQ(go([&] {
                uint8_t* p = bld_append(&m.code, 0, uint16_t(std::strlen(src)), uint8_t(seps));
                p[0] = 252;  // no statement builds APPENDFIX: the APPEND layout with a one-byte length
                p[4] = uint8_t(tl);
              }),
              1);
    return std::string(reinterpret_cast<char*>(fa), size_t(tl));
  };
  com.fill_char = '.';
  EXPECT_EQ(fix("ABC", "XY", 8, 2), "ABC..XY ");
  EXPECT_EQ(fix("ABCDEF", "XY", 8, 3), "ABCDEF..");
  EXPECT_EQ(fix("", "XY", 8, 2), "XY      ");
  EXPECT_EQ(fix("  Z", "XY", 8, 2), "  Z..XY ");  // two blanks do not make it empty
  EXPECT_EQ(fix("", "ABCDEFGHIJ", 8, 0), "ABCDEFGH");
  EXPECT_EQ(fa[8], ' ');  // nothing past the target
  // TOKEN_TO_ALP: a number without a token fills the target with '?' (a
  // list handle of no list: none has the number).
  put_bin(fb, 2, 7);
  ASSERT_EQ(go([&] {
              uint8_t* p = bld_token_to_alp(&m.code, "0LA", "COLORS                ", 2, 6);
              rec::view<IbTokenToAlp>(p).handle = 999;
            }),
            1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 6), "??????");
  // SET_TEMP: positions from 1, the count cut at the target's end, blanks
  // after a short source, never past the target.
  auto temp = [&](int tpos, int spos, int count, int tl, int sl) {
    std::memset(fa, '.', 32);
    std::memcpy(fb, "ABCDEFGH", 8);
    int rc = go([&] {
      bld_ld_len(&m.code, 1, uint16_t(tpos));
      bld_ld_len(&m.code, 2, uint16_t(spos));
      bld_ld_len(&m.code, 3, uint16_t(count));
      bld_set_temp(&m.code, uint16_t(tl), uint16_t(sl));
    });
    return rc == 1 ? std::string(reinterpret_cast<char*>(fa), 10) : "E" + std::to_string(last_err());
  };
  EXPECT_EQ(temp(2, 3, 3, 10, 8), ".CDE......");
  EXPECT_EQ(temp(8, 1, 5, 10, 8), ".......ABC");
  EXPECT_EQ(fa[10], '.');  // the count past the target's end pads nothing there
  EXPECT_EQ(temp(1, 7, 5, 10, 8), "GH   .....");
  EXPECT_EQ(temp(0, 1, 1, 10, 8), "E300170");
  EXPECT_EQ(temp(12, 1, 1, 10, 8), "E300170");
}


// What a compare-expansion and the IF_PD after it leave: both work values,
// the length registers and the truth mask.
constexpr uint16_t kOpProbe = 98;
struct Probe {
  uint8_t w[2][16];
  uint16_t len[2];
  uint32_t mask;
};
std::vector<Probe> g_probes;
uint8_t* h_probe(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  Probe p{};
  for (int k = 0; k < 2; ++k) {
    std::memcpy(p.w[k], s->addr[k], 16);
    p.len[k] = s->len[k];
  }
  p.mask = s->mask;
  g_probes.push_back(p);
  return ii_adv(pc, 8);
}

// Packed operands of 1-16 bytes, fixed or variable (with the scale byte
// after the value), at scales of 0-31, below 0 and past 31, valid or not,
// expanded and compared by IF_PD (at once after it, or after a NOP): the
// work values as widening and shifting give them, and the relation by value.
TEST_F(IiFld, CompareExpansionsAgainstTheModel) {
  ii_set_pair(kOpProbe, h_probe);
  // Two 8-byte values with the same damaged scale byte: refused, as the
  // other forms refuse it.
  put_pd(fa, 8, 5);
  put_pd(fb, 8, 7);
  fa[8] = fb[8] = 40;
  EXPECT_EQ(go([&] {
              bld_comp_xpnd_var_var(&m.code, 9, 9);
              bld_if2(&m.code, 510, 10, 16, 16, 1, true);
            }),
            300540);
  auto u = [&](uint64_t n) { return int(rng() % n); };
  long n = ii2::cases(4000), fused = 0, apart = 0;
  for (long c = 0; c < n; ++c) {
    int form = u(4);  // 0 fix-fix, 1 var-var, 2 var-fix, 3 fix-var
    bool var[2] = {form == 1 || form == 2, form == 1 || form == 3};
    int len[2], sc[2];
    uint8_t* f[2] = {fa, fb};
    for (int k = 0; k < 2; ++k) {
      len[k] = u(4) == 0 ? 9 + u(8) : u(3) == 0 ? 8 : 1 + u(8);
      int r = u(12);
      sc[k] = r == 0 ? 32 + u(10) : r == 1 && var[k] ? -1 - u(4) : r < 5 ? 0 : u(r < 8 ? 4 : 32);
      int digits = 2 * len[k] - 1;
      i128 v = 0;
      for (int d = 0, nd = u(digits + 1); d < nd; ++d) v = v * 10 + u(10);
      if (u(3) == 0) v = -v;
      put_pd(f[k], len[k], v);
      int odd = u(16);
      if (odd == 0) f[k][len[k] - 1] = uint8_t((f[k][len[k] - 1] & 0xF0) | 0x0F);  // another sign nibble
      if (odd == 1) f[k][u(uint64_t(len[k]))] |= 0xA0;                             // a digit above 9
      if (odd == 2 && v == 0) f[k][len[k] - 1] = uint8_t((f[k][len[k] - 1] & 0xF0) | 0x0D);  // -0
      if (var[k]) f[k][len[k]] = uint8_t(int8_t(sc[k]));
      else sc[k] &= 0xFF;
    }
    // The model: widened to 16 bytes, the one at the smaller scale shifted.
    uint8_t w[2][16];
    auto ok_sc = [](int x) { return x >= -31 && x <= 31; };
    bool ok = ok_sc(sc[0]) && ok_sc(sc[1]);
    for (int k = 0; k < 2; ++k) pd_widen(w[k], f[k], len[k]);
    if (ok && sc[0] < sc[1]) ok = pd_shft(w[0], 16, sc[1] - sc[0]);
    if (ok && sc[1] < sc[0]) ok = pd_shft(w[1], 16, sc[0] - sc[1]);
    i128 x = 0, y = 0;
    bool valid = ok && get_pd(w[0], 16, &x) && get_pd(w[1], 16, &y);
    int rel = 1 + u(6), tail = u(4);  // 0: no IF_PD, 1: a NOP before it
    bool cmp_too = tail != 0;
    g_probes.clear();
    int rc = go([&] {
      switch (form) {
        case 0: bld_comp_xpnd_fix_fix(&m.code, uint8_t(sc[0]), uint8_t(sc[1]), uint16_t(len[0]), uint16_t(len[1])); break;
        case 1: bld_comp_xpnd_var_var(&m.code, uint16_t(len[0] + 1), uint16_t(len[1] + 1)); break;
        case 2: bld_comp_xpnd_var_fix(&m.code, uint16_t(len[0] + 1), uint16_t(len[1]), uint8_t(sc[1])); break;
        default: bld_comp_xpnd_fix_var(&m.code, uint16_t(len[1] + 1), uint16_t(len[0]), uint8_t(sc[0])); break;
      }
      if (tail == 1) ib_put(&m.code, 466);
      if (cmp_too) bld_if2(&m.code, 510, 10, 16, 16, uint8_t(rel), true);
      m.emit(kOpProbe, 8);
    });
    std::string what = "case " + std::to_string(c) + " form " + std::to_string(form) + " lengths " +
                       std::to_string(len[0]) + "/" + std::to_string(len[1]) + " scales " + std::to_string(sc[0]) +
                       "/" + std::to_string(sc[1]);
    // Valid values too far apart in scale to align, compared at once: as
    // their numbers compare (digits written out, 64 whole and 32 decimal).
    uint8_t o[2][16];
    i128 a[2] = {0, 0};
    for (int k = 0; k < 2; ++k) pd_widen(o[k], f[k], len[k]);
    if (!ok && ok_sc(sc[0]) && ok_sc(sc[1]) && tail >= 2 && get_pd(o[0], 16, &a[0]) && get_pd(o[1], 16, &a[1])) {
      auto text = [](i128 v, int scale) {
        std::string d;
        i128 mag = v < 0 ? -v : v;
        do d.insert(d.begin(), char('0' + int(mag % 10))); while ((mag /= 10) != 0);
        if (scale < 0) d.append(size_t(-scale), '0'), scale = 0;
        if (int(d.size()) <= scale) d.insert(0, size_t(scale + 1) - d.size(), '0');
        std::string whole = d.substr(0, d.size() - size_t(scale)), part = d.substr(d.size() - size_t(scale));
        return std::string(64 - whole.size(), '0') + whole + part + std::string(32 - part.size(), '0');
      };
      int g0 = a[0] < 0 ? -1 : a[0] > 0, g1 = a[1] < 0 ? -1 : a[1] > 0;
      int c2 = text(a[0], sc[0]).compare(text(a[1], sc[1]));
      c2 = c2 < 0 ? -1 : c2 > 0;
      int want = g0 != g1 ? (g0 < g1 ? -1 : 1) : g0 < 0 ? -c2 : c2;
      ASSERT_EQ(rc, 1) << what;
      ASSERT_EQ(g_probes.size(), 1u) << what;
      ASSERT_EQ(g_probes[0].mask, ii_set_tf(0x3FF, uint32_t(ii_rel(want, rel)), 10)) << what;
      ++apart;
      continue;
    }
    if (!ok || (cmp_too && !valid)) {
      ASSERT_EQ(rc, 300540) << what;
      continue;
    }
    ASSERT_EQ(rc, 1) << what;
    ASSERT_EQ(g_probes.size(), 1u) << what;
    const Probe& p = g_probes[0];
    for (int k = 0; k < 2; ++k) {
      ASSERT_EQ(std::memcmp(p.w[k], w[k], 16), 0) << what << " operand " << k;
      ASSERT_EQ(p.len[k], 16) << what;
    }
    int cmp = x < y ? -1 : x > y ? 1 : 0;
    ASSERT_EQ(p.mask, cmp_too ? ii_set_tf(0x3FF, uint32_t(ii_rel(cmp, rel)), 10) : 0x3FFu) << what;
    fused += tail > 1 && len[0] <= 8 && len[1] <= 8;
  }
  EXPECT_GT(fused, n / 8);
  EXPECT_GT(apart, n / 100);  // (about 1 in 30)
}

}  // namespace
