// Control statements on hand-assembled code: loops (binary, packed at one
// and at mixed scales, nested and mixed-type), their edge cases and checked
// steps, GOTO into a loop body, GOSUB and RETURN, OVERFLOW, TIMEOUT, the
// selection branches and the ways out of an event point.
#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <tuple>

#include "language/ii2_fix.h"

namespace {

using ii2::set_pd;

// Test handler: STATE (98, 8 bytes) records the time-out seconds, whether a
// time-out label is set, and how many GOSUBs are open.
constexpr uint16_t kOpState = 98;
struct Seen {
  int32_t secs;
  bool label;
  int gosubs;
  uint32_t mask;
};
std::vector<Seen> g_seen;
uint8_t* h_state(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  g_seen.push_back({s->timeout_secs, s->timeout_label != nullptr, int(s->gosubs), s->mask});
  return ii_adv(pc, 8);
}

class IiCtl : public ii2::Fix {
 protected:
  void SetUp() override {
    Fix::SetUp();
    ii_set_pair(kOpState, h_state);
    g_seen.clear();
    watch_errors();
  }
  void state() { m.emit(kOpState, 8); }
  // A packed loop value of 9 bytes.
  uint8_t* pd(const char* text, uint32_t* ira) {
    uint8_t* p = field(9, ira);
    set_pd(p, text);
    return p;
  }
  static std::string pd_str(const uint8_t* p) {
    PdFloat f{const_cast<uint8_t*>(p), 8, int8_t(p[8])};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", int(p[8]), pd_to_float(&f));
    return buf;
  }
  uint8_t* bin(int32_t v, uint32_t* ira) {
    uint8_t* p = field(4, ira);
    rec::view<rec::U32>(p) = uint32_t(v);
    return p;
  }
  uint32_t lcb() {
    uint32_t ira;
    field(28, &ira);
    return ira;
  }
  size_t count(uint32_t tag) { return size_t(std::count(ii2::flags().begin(), ii2::flags().end(), tag)); }
  // A packed loop over var from `from` to `to` by `step` whose body flags 1;
  // the four values are fields of their own, changed between runs.
  struct PackedLoop {
    uint8_t *var, *from, *to, *step;
    uint32_t from_ira, to_ira;
  };
  PackedLoop packed_loop(const char* from, const char* to, const char* step) {
    uint32_t v, f, t, s, c = lcb();
    PackedLoop l{pd("0", &v), pd(from, &f), pd(to, &t), pd(step, &s), f, t};
    uint8_t* b = beg(false, v, f, t, s, c);
    flag(1);
    end_loop(false, v, c, b);
    end();
    return l;
  }
};

TEST_F(IiCtl, BinaryLoops) {
  uint32_t v, f, t, s, c = lcb();
  uint8_t* var = bin(0, &v);
  uint8_t* from = bin(1, &f);
  uint8_t* to = bin(3, &t);
  uint8_t* step = bin(1, &s);
  uint8_t* b = beg(true, v, f, t, s, c);
  flag(1);
  end_loop(true, v, c, b);
  end();
  auto go = [&](int32_t fr, int32_t tt, int32_t st) {
    rec::view<rec::U32>(from) = uint32_t(fr);
    rec::view<rec::U32>(to) = uint32_t(tt);
    rec::view<rec::U32>(step) = uint32_t(st);
    ii2::flags().clear();
    EXPECT_EQ(run(ii2::cref(1, 0)), 1);
    return std::make_pair(count(1), int32_t(rec::view<rec::U32>(var).get()));
  };
  EXPECT_EQ(go(1, 3, 1), std::make_pair(size_t(3), 3));     // three times, ends at 3
  EXPECT_EQ(go(5, 3, 1), std::make_pair(size_t(0), 5));     // FROM past TO: holds FROM
  EXPECT_EQ(go(3, -3, -2), std::make_pair(size_t(4), -3));  // 3, 1, -1, -3
  // Near the top of 32 bits the loop ends (a 32-bit sum would wrap and loop for ever).
  EXPECT_EQ(go(INT32_MAX - 2, INT32_MAX, 1), std::make_pair(size_t(3), INT32_MAX));
  EXPECT_EQ(go(INT32_MIN + 1, INT32_MIN, -1), std::make_pair(size_t(2), INT32_MIN));
  EXPECT_EQ(go(0, INT32_MAX, INT32_MAX), std::make_pair(size_t(2), INT32_MAX));
  // FROM equal to TO: once, whatever the step's sign.
  EXPECT_EQ(go(4, 4, 1), std::make_pair(size_t(1), 4));
  EXPECT_EQ(go(4, 4, -1), std::make_pair(size_t(1), 4));
}

// The loop control block lies in a data area, which code may write: END
// LOOP goes back only where its BEG LOOP began the body, never to a word
// written into the block since (here: one instruction further on), for a
// binary and a packed loop, at once and after a loop inside the body (the
// way back then comes from the state's table of loops).
constexpr uint16_t kOpMoveBack = 100;
uint8_t* g_loop_block = nullptr;
bool g_packed_block = false;
uint8_t* h_move_back(IlfExecBlock*, IlfState*, uint8_t* pc) {
  auto& back = g_packed_block ? rec::view<IiLoopPd>(g_loop_block).back : rec::view<IiLoopBin>(g_loop_block).back;
  back.set(back.get() + 8);
  return ii_adv(pc, 8);
}
TEST_F(IiCtl, EndLoopGoesBackOnlyWhereItsBegLoopBeganTheBody) {
  ii_set_pair(kOpMoveBack, h_move_back);
  for (bool packed : {false, true})
    for (bool inner : {false, true}) {
      restart();
      g_packed_block = packed;
      uint32_t v, f, t, s, c, iv, one, ic;
      g_loop_block = field(28, &c);
      if (packed) {
        pd("0", &v);
        pd("1", &f);
        pd("3", &t);
        pd("1", &s);
      } else {
        bin(0, &v);
        bin(1, &f);
        bin(3, &t);
        bin(1, &s);
      }
      uint8_t* b = beg(!packed, v, f, t, s, c);
      m.emit(kOpMoveBack, 8);
      flag(1);
      if (inner) {
        bin(0, &iv);
        bin(1, &one);
        ic = lcb();
        uint8_t* ib = beg(true, iv, one, one, one, ic);
        end_loop(true, iv, ic, ib);
      }
      end_loop(!packed, v, c, b);
      end();
      ii2::flags().clear();
      m.pcb->dbg->err_msg = 0;
      EXPECT_EQ(run(ii2::cref(1, 0)), 300540) << packed << inner;
      EXPECT_EQ(last_err(), kIiErrLoop) << packed << inner;
      EXPECT_EQ(count(1), 1u) << packed << inner;
    }
}

TEST_F(IiCtl, PackedLoopsAtOneAndMixedScales) {
  auto [var, from, to, step, f, t] = packed_loop("1", "3", "1");
  auto go = [&](const char* fr, const char* tt, const char* st) {
    set_pd(from, fr);
    set_pd(to, tt);
    set_pd(step, st);
    ii2::flags().clear();
    int rc = run(ii2::cref(1, 0));
    return std::to_string(rc) + " " + std::to_string(count(1)) + " " + pd_str(var);
  };
  EXPECT_EQ(go("1", "3", "1"), "1 3 3");
  EXPECT_EQ(go("5", "3", "1"), "1 0 5");
  EXPECT_EQ(go("0.5", "2", "0.25"), "1 7 2.00");
  EXPECT_EQ(go("2", "0.5", "-0.5"), "1 4 0.5");
  EXPECT_EQ(go("1.25", "1.75", "0.25"), "1 3 1.75");  // equal scales
  EXPECT_EQ(go("0", "0.3", "0.125"), "1 3 0.250");
  // FROM equal to TO: once, with a step of 1, -1 or a decimal one.
  EXPECT_EQ(go("3", "3", "1"), "1 1 3");
  EXPECT_EQ(go("3", "3", "-1"), "1 1 3");
  EXPECT_EQ(go("2.5", "2.5", "0.5"), "1 1 2.5");
  EXPECT_EQ(go("2.5", "2.5", "-0.25"), "1 1 2.5");
  EXPECT_EQ(go("-7", "-7.00", "1"), "1 1 -7");
  // Checked steps: a step past 15 digits (the 8-byte integer add, the
  // equal-scale add) is past TO and ends the loop; the variable keeps the
  // last value the body ran with.
  EXPECT_EQ(go("999999999999998", "999999999999999", "1"), "1 2 999999999999999");
  EXPECT_EQ(go("9999999999999.98", "9999999999999.99", "0.01"), "1 2 9999999999999.99");
  EXPECT_EQ(go("-999999999999998", "-999999999999999", "-1"), "1 2 -999999999999999");
  // An invalid packed TO is 300540, not a wrong loop.
  set_pd(to, "3");
  to[0] = 0xAA;
  ii2::flags().clear();
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  // At mixed scales the sum drops decimals to stay in 15 digits (from 17
  // and from 16), rounding.
  EXPECT_EQ(go("99999999999999.5", "100000000000001", "0.75"), "1 3 100000000000001");
  EXPECT_EQ(go("99999999999999.5", "100000000000001", "0.5"), "1 3 100000000000001");
}

// Packed integer loops step in binary from the second step on, while the
// variable, STEP and TO hold the bytes the last step left: a body that
// writes any of them (here POKE, 102, at the iterations a script names)
// sends the step the long way. Against a model on 128-bit integers: the
// iterations, the completion code and the variable's bytes (as the
// number's text converts), across zero, down and up, and at 15 digits.
// So does a body that writes only the variable's scale byte, its digits
// still those the step left (I = I / 10 of 2 stores 0.2).
constexpr uint16_t kOpPoke = 102;
using i128 = __int128;
struct Poke {
  int at;            // the iteration (1-based)
  int what;          // 0 the variable, 1 STEP, 2 TO, 3 the variable's scale byte
  long long value;
};
std::vector<Poke> g_pokes;
int g_iteration = 0;
uint8_t *g_var = nullptr, *g_lcb = nullptr;
void put_int(uint8_t* p, long long v) { set_pd(p, std::to_string(v).c_str()); }
uint8_t* h_poke(IlfExecBlock*, IlfState*, uint8_t* pc) {
  ++g_iteration;
  for (const Poke& k : g_pokes) {
    if (k.at != g_iteration) continue;
    if (k.what == 3) {
      g_var[8] = uint8_t(k.value);
      continue;
    }
    uint8_t v[9];
    put_int(v, k.value);
    if (k.what == 0) std::memcpy(g_var, v, 9);
    else std::memcpy(k.what == 1 ? rec::view<IiLoopPd>(g_lcb).step.data() : rec::view<IiLoopPd>(g_lcb).to.data(), v, 8);
  }
  return ii_adv(pc, 8);
}
TEST_F(IiCtl, PackedIntegerLoopsStepInBinaryAsInPacked) {
  ii_set_pair(kOpPoke, h_poke);
  uint32_t v, f, t, s, c;
  g_lcb = field(28, &c);
  g_var = pd("0", &v);
  uint8_t* from = pd("0", &f);
  uint8_t* to = pd("0", &t);
  uint8_t* step = pd("1", &s);
  uint8_t* b = beg(false, v, f, t, s, c);
  m.emit(kOpPoke, 8);
  end_loop(false, v, c, b);
  end();
  std::mt19937_64 rng(ii2::seed());
  auto u = [&](long long n) { return (long long)(rng() % uint64_t(n)); };
  const long long top = 999999999999999;
  for (long n = ii2::cases(400), k = 0; k < n; ++k) {
    // FROM and STEP; TO a few steps away, sometimes at the 15-digit limit.
    long long st = 1 + (u(4) == 0 ? u(1000000) : u(5));
    int dir = u(2) ? 1 : -1;
    long long fr = u(3) == 0 ? -u(10) : u(3) == 0 ? dir * (top - u(20)) : u(2000000) - 1000000;
    long long tt = fr + dir * (st * u(12) + u(st));
    if (tt > top || tt < -top) tt = dir * top;
    g_pokes.clear();
    for (int p = 0, np = int(u(3)); p < np; ++p) {
      int what = int(u(3));
      long long val = what == 1 ? dir * (1 + u(3)) * st : what == 2 ? tt + dir * u(3) : fr + dir * u(5) * st;
      val = std::clamp(val, -top, top);
      g_pokes.push_back({int(1 + u(8)), what, val});
    }
    // The model.
    i128 var = fr, stp = dir * st, lim = tt;
    long iters = 0;
    int want_rc = 1;
    if ((var > lim ? 1 : var < lim ? -1 : 0) != dir) {
      for (;;) {
        ++iters;
        for (const Poke& p : g_pokes)
          if (p.at == iters) (p.what == 0 ? var : p.what == 1 ? stp : lim) = p.value;
        i128 next = var + stp;
        if ((next > lim ? 1 : next < lim ? -1 : 0) == dir) break;
        if (next >= i128(top) + 1 || next <= -i128(top) - 1) {
          want_rc = 300540;
          break;
        }
        var = next;
      }
    }
    put_int(from, fr);
    put_int(to, tt);
    put_int(step, dir * st);
    g_iteration = 0;
    std::string what = "from " + std::to_string(fr) + " to " + std::to_string(tt) + " by " + std::to_string(dir * st);
    ASSERT_EQ(run(ii2::cref(1, 0)), want_rc) << what;
    ASSERT_EQ(g_iteration, iters) << what;
    uint8_t want[9];
    put_int(want, (long long)var);
    ASSERT_EQ(std::memcmp(g_var, want, 9), 0) << what << ": " << pd_str(g_var);
  }
  // 1 TO 10 (and -1 TO -10) with 2 turned into 0.2 at the second
  // iteration: then 1.2 to 9.2 at scale 1, eleven iterations in all.
  for (int sg : {1, -1}) {
    g_pokes = {{2, 3, 1}};
    put_int(from, sg);
    put_int(to, sg * 10);
    put_int(step, sg);
    g_iteration = 0;
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    EXPECT_EQ(g_iteration, 11);
    EXPECT_EQ(pd_str(g_var), sg > 0 ? "9.2" : "-9.2");
  }
}

// BEG LOOP reads three 8-byte values at one valid scale without widening
// them: it must leave what the same values read as 9-byte ones (the wide
// path) leave: the variable, the loop control block, the iterations and
// the completion, at the bounds of digits, signs and scales and for bytes
// that are no value.
// CAP (104): counts the iterations and ends the event point at the 20th.
constexpr uint16_t kOpCap = 104;
int g_capped = 0;
uint8_t* h_cap(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  if (++g_capped >= 20) return ii_stop(s);
  return ii_adv(pc, 4);
}
TEST_F(IiCtl, BegLoopOfEightByteValuesLeavesWhatWideValuesLeave) {
  ii_set_pair(kOpCap, h_cap);
  uint32_t v, c = lcb();
  uint8_t* var = pd("0", &v);
  uint8_t* blk = data + (used - 28);  // (lcb's field, just made)
  uint32_t ira8[3], ira9[3];
  uint8_t *p8[3], *p9[3];
  for (int k = 0; k < 3; ++k) {
    p8[k] = field(9, &ira8[k]);
    p9[k] = field(10, &ira9[k]);
  }
  // The same code either way but for the registers' lengths.
  auto code = [&](bool wide) {
    restart();
    const uint32_t* r = wide ? ira9 : ira8;
    bld_ira(&m.code, v, 1);
    for (int k = 0; k < 3; ++k) bld_ira(&m.code, r[k], k + 2);
    bld_addr_len(&m.code, 1, 9);
    for (int k = 2; k <= 4; ++k) bld_addr_len(&m.code, k, wide ? 10 : 9);
    uint8_t* b = bld_beg_loop(&m.code, false, c);
    m.emit(kOpCap, 4);
    end_loop(false, v, c, b);
    end();
  };
  // 8 value bytes and a scale byte; the wide field has a zero byte first.
  auto run_with = [&](bool wide, const uint8_t (&val)[3][9]) {
    code(wide);
    for (int k = 0; k < 3; ++k) {
      if (wide) {
        p9[k][0] = 0;
        std::memcpy(p9[k] + 1, val[k], 9);
      } else {
        std::memcpy(p8[k], val[k], 9);
      }
    }
    std::memset(var, 0x11, 9);
    std::memset(blk, 0x22, 28);
    g_capped = 0;
    int rc = run(ii2::cref(1, 0));
    std::string out = std::to_string(rc) + " " + std::to_string(g_capped) + " var";
    char h[4];
    for (int i = 0; i < 9; ++i) std::snprintf(h, sizeof h, " %02x", var[i]), out += h;
    out += " lcb";
    for (int i = 0; i < 28; ++i)
      if (i < 18 || i >= 22) std::snprintf(h, sizeof h, " %02x", blk[i]), out += h;  // (back: an address)
    return out;
  };
  const char* values[] = {"0", "1", "-1", "2", "999999999999999", "-999999999999999", "999999999999998", "12.5"};
  std::mt19937_64 rng(ii2::seed());
  auto u = [&](uint64_t n) { return rng() % n; };
  for (long n = ii2::cases(600), k = 0; k < n; ++k) {
    uint8_t val[3][9];
    int sc = u(4) == 0 ? int(u(65)) - 32 : int(u(3));  // one past each end of -31..31 now and then
    for (auto& x : val) {
      set_pd(x, values[u(std::size(values))]);
      x[8] = uint8_t(u(5) == 0 ? int(u(3)) : sc);  // mixed scales: the wide path for both
      switch (u(12)) {
        case 0: x[7] = uint8_t((x[7] & 0xF0) | com.pd_neg); break;  // a negative zero, or a sign made negative
        case 1: x[7] = uint8_t((x[7] & 0xF0) | 0xA); break;         // no sign
        case 2: x[u(8)] |= 0xA0; break;                             // no digit
        default: break;
      }
    }
    if (u(3) == 0) std::memcpy(val[1], val[0], 9);  // FROM equal to TO
    std::string a = run_with(false, val), b = run_with(true, val);
    ASSERT_EQ(a, b) << "case " << k;
  }
  // A negative zero at a negative scale (no value the cache takes) as FROM,
  // TO or STEP, the others 1 and 5 at that scale: stored as the positive one.
  for (int k = 0; k < 3; ++k) {
    uint8_t val[3][9];
    for (int j = 0; j < 3; ++j) {
      set_pd(val[j], j == k ? "0" : j == 1 ? "5" : "1");
      val[j][8] = uint8_t(-2);
    }
    val[k][7] = uint8_t((val[k][7] & 0xF0) | com.pd_neg);
    ASSERT_EQ(run_with(false, val), run_with(true, val)) << "a negative zero in register " << k + 2;
  }
}

// A loop left by a GOTO out of its body and then begun again with FROM
// past TO is not active: a GOTO into its body reaches an END LOOP that is
// the loop error, not a step over the old body.
constexpr uint16_t kOpSetTo = 108;
uint8_t* g_loop_to = nullptr;
uint8_t* h_set_to(IlfExecBlock*, IlfState*, uint8_t* pc) {
  rec::view<rec::U32>(g_loop_to) = 0u;
  return ii_adv(pc, 8);
}
TEST_F(IiCtl, EndLoopOfALoopBegunPastItsEndIsTheLoopError) {
  ii_set_pair(kOpSetTo, h_set_to);
  ii_set_pair(kOpCap, h_cap);
  uint32_t v, f, t, s, c = lcb();
  bin(0, &v);
  bin(1, &f);
  g_loop_to = bin(3, &t);
  bin(1, &s);
  CodeRef top = here();
  uint8_t* b = beg(true, v, f, t, s, c);
  flag(1);
  m.emit(kOpSetTo, 8);  // TO 0: begun again, the loop is passed over
  bld_goto(&m.code, top);
  CodeRef body = flag(2);
  end_loop(true, v, c, b);
  m.emit(kOpCap, 4);  // (an END LOOP that steps on would come here again and again)
  bld_goto(&m.code, body);
  end();
  g_capped = 0;
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  EXPECT_EQ(last_err(), kIiErrLoop);
  EXPECT_EQ(ii2::flags(), (std::vector<uint32_t>{1, 2}));
}

// BEG LOOP's loads as the compiler writes them (each register loaded and
// its length set in turn, FROM a constant) run in one: they leave what the
// instructions one by one leave (the trace on): registers, lengths, the
// instructions started, the variable, the iterations and the error.
// SNAP (106) records them.
constexpr uint16_t kOpSnap = 106;
std::vector<std::string> g_snaps;
uint8_t* h_snap(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  std::string t;
  for (int r = 0; r < 4; ++r) t += std::to_string(s->addr[r] ? s->addr[r] - ii_arena : 0) + " " + std::to_string(s->len[r]) + " ";
  t += "n" + std::to_string(s->count + uint32_t(s->armed - s->tick));
  g_snaps.push_back(t);
  return ii_adv(pc, 8);
}
TEST_F(IiCtl, BegLoopsLoadsInOneLeaveWhatTheInstructionsLeave) {
  ii_set_pair(kOpSnap, h_snap);
  uint32_t v, f, t, st, c = lcb();
  uint8_t* var = pd("0", &v);
  uint8_t* from = pd("1", &f);
  uint8_t* to = pd("3", &t);
  pd("1", &st);
  auto snap = [&] { m.emit(kOpSnap, 8); };
  snap();
  bld_ira(&m.code, v, 1);
  bld_addr_len(&m.code, 1, 9);
  rec::view<rec::U32>(m.emit(55, 8) + 4) = arena::offset_of(from);  // CNST_2, relocated
  bld_addr_len(&m.code, 2, 9);
  bld_ira(&m.code, t, 3);
  bld_addr_len(&m.code, 3, 9);
  bld_ira(&m.code, st, 4);
  bld_addr_len(&m.code, 4, 9);
  uint8_t* b = bld_beg_loop(&m.code, false, c);
  snap();
  flag(1);
  end_loop(false, v, c, b);
  snap();
  end();
  FILE* trace = std::fopen("/dev/null", "w");
  ASSERT_TRUE(trace);
  auto go = [&](bool one_by_one) {
    g_snaps.clear();
    ii2::flags().clear();
    set_pd(var, "0");
    if (one_by_one) ii_set_trace(trace);
    int rc = run(ii2::cref(1, 0));
    ii_set_trace(nullptr);
    std::string out = std::to_string(rc) + " " + std::to_string(count(1)) + " " + pd_str(var) + " " +
                      std::to_string(last_err());
    for (auto& x : g_snaps) out += " | " + x;
    return out;
  };
  for (const char* tv : {"3", "0"}) {  // three iterations, and none
    set_pd(to, tv);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(go(false), go(true)) << tv << " " << i;
  }
  SysErrCapture cap(SysErrAnswer::Continue);
  areas[t].reset();  // TO's field without its data area: the instructions' error
  EXPECT_EQ(go(false), go(true));
  EXPECT_EQ(count(1), 0u);
  EXPECT_NE(cap.last().find("inst_ira() - no data area"), std::string::npos);
  std::fclose(trace);
}

// Loop values a CALC result past 15 digits left (its 15 highest digits at
// a negative scale): compared and stepped at the largest scale of the
// three, the variable kept there; a sum that would need a digit below
// that scale to keep 15 is 300540. A binary loop takes such a bound as its
// integer, and TIMEOUT such seconds.
TEST_F(IiCtl, LoopsOverValuesAtANegativeScale) {
  auto [var, from, to, step, f, t] = packed_loop("0", "0", "0");
  auto put = [](uint8_t* p, const char* digits, int scale) {
    set_pd(p, digits);
    p[8] = uint8_t(scale);
  };
  auto go = [&] {
    ii2::flags().clear();
    int rc = run(ii2::cref(1, 0));
    PdFloat x{var, 8, 0};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d %zu %.0f e%d", rc, count(1), pd_to_float(&x), int(int8_t(var[8])));
    return std::string(buf);
  };
  // 10^15 to 10^15 + 100 by 10, all at scale -1: eleven times.
  put(from, "100000000000000", -1);
  put(to, "100000000000010", -1);
  put(step, "1", -1);
  EXPECT_EQ(go(), "1 11 100000000000010 e-1");
  // By 1 at scale 0 the variable would need 16 digits: 300540 after the first.
  put(step, "1", 0);
  EXPECT_EQ(go(), "300540 1 100000000000000 e-1");
  // FROM 1 at scale -2 (100) equals TO 100: once, the variable as FROM.
  put(from, "1", -2);
  put(to, "100", 0);
  put(step, "1", 0);
  EXPECT_EQ(go(), "1 1 1 e-2");
  // A scale byte of -32 is no value.
  put(from, "1", -32);
  EXPECT_EQ(go(), "300540 0 1 e-2");

  // A binary loop from 1 to a packed 3 at scale -2 (300) by 100.
  restart();
  uint32_t ai, bf, bs, cb = lcb();
  uint8_t* vb = bin(0, &ai);
  bin(1, &bf);
  bin(100, &bs);
  put(to, "3", -2);
  bld_ira(&m.code, ai, 1);
  bld_ira(&m.code, bf, 2);
  bld_ira(&m.code, t, 3);
  bld_loop_cnv(&m.code, 3, 5, 12, 9);
  bld_ira(&m.code, bs, 4);
  uint8_t* inner = bld_beg_loop(&m.code, true, cb);
  flag(2);
  end_loop(true, ai, cb, inner);
  // TIMEOUT of 2 at scale -1: 20 seconds.
  put(from, "2", -1);
  bld_ira(&m.code, f, 1);
  bld_timeout(&m.code, ii2::cref(1, 0), 12, 9, true);
  state();
  end();
  ii2::flags().clear();
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_EQ(count(2), 3u);  // 1, 101, 201
  EXPECT_EQ(rec::view<rec::U32>(vb).get(), 201u);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].secs, 20);
}

TEST_F(IiCtl, NestedAndMixedTypeLoopsAndGotoIntoTheBody) {
  // Packed A from 1 to 3; inside, binary AI from 1 to A (A converted into
  // AI's type by LOOP_CNV).
  uint32_t a, af, at, as, ca = lcb(), ai, bf, bs, cb = lcb();
  uint8_t* va = pd("0", &a);
  pd("1", &af);
  pd("3", &at);
  pd("1", &as);
  uint8_t* vb = bin(0, &ai);
  bin(1, &bf);
  bin(1, &bs);
  uint8_t* outer = beg(false, a, af, at, as, ca);
  flag(1);
  bld_ira(&m.code, ai, 1);
  bld_ira(&m.code, bf, 2);
  bld_ira(&m.code, a, 3);
  bld_loop_cnv(&m.code, 3, 5, 12, 9);
  bld_ira(&m.code, bs, 4);
  uint8_t* inner = bld_beg_loop(&m.code, true, cb);
  flag(2);
  end_loop(true, ai, cb, inner);
  end_loop(false, a, ca, outer);
  end();
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_EQ(count(1), 3u);
  EXPECT_EQ(count(2), 6u);  // 1 + 2 + 3
  EXPECT_EQ(pd_str(va), "3");
  EXPECT_EQ(rec::view<rec::U32>(vb).get(), 3u);

  // GOTO into a loop body: its END LOOP finds the loop not active.
  restart();
  uint32_t v, f, t, s, c = lcb();
  bin(0, &v);
  bin(1, &f);
  bin(3, &t);
  bin(1, &s);
  uint8_t* go = bld_goto(&m.code, ii2::no_code());
  uint8_t* b = beg(true, v, f, t, s, c);
  rec::view<IbLabel>(go).label = here();
  flag(3);
  end_loop(true, v, c, b);
  end();
  ii2::flags().clear();
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  EXPECT_EQ(last_err(), 100910u);
  EXPECT_EQ(count(3), 1u);
}

// A packed loop over binary bounds: LOOP_CNV turns each into a packed
// value of the loop's own type, its sign kept.
TEST_F(IiCtl, PackedLoopOverBinaryBounds) {
  uint32_t a, af, at, as, c = lcb();
  uint8_t* va = pd("0", &a);
  uint8_t* from = bin(0, &af);
  uint8_t* to = bin(0, &at);
  uint8_t* step = pd("1", &as);
  bld_ira(&m.code, a, 1);
  bld_addr_len(&m.code, 1, 9);
  bld_ira(&m.code, af, 2);
  bld_loop_cnv(&m.code, 2, 12, 5, 4);
  bld_ira(&m.code, at, 3);
  bld_loop_cnv(&m.code, 3, 12, 5, 4);
  bld_ira(&m.code, as, 4);
  bld_addr_len(&m.code, 4, 9);
  uint8_t* b = bld_beg_loop(&m.code, false, c);
  flag(1);
  end_loop(false, a, c, b);
  end();
  auto go = [&](int32_t fr, int32_t tt, const char* st) {
    rec::view<rec::U32>(from) = uint32_t(fr);
    rec::view<rec::U32>(to) = uint32_t(tt);
    set_pd(step, st);
    ii2::flags().clear();
    int rc = run(ii2::cref(1, 0));
    return std::to_string(rc) + " " + std::to_string(count(1)) + " " + pd_str(va);
  };
  EXPECT_EQ(go(1, 3, "1"), "1 3 3");
  EXPECT_EQ(go(0, -2, "-1"), "1 3 -2");
  EXPECT_EQ(go(-1, 1, "1"), "1 3 1");
  EXPECT_EQ(go(5, 3, "1"), "1 0 5");
}

// Two loops over one letter, one after the other, each with a loop inside:
// the second's END LOOP, reached after its inner loop, goes back into its
// own body.
TEST_F(IiCtl, TwoLoopsOverOneLetterEachWithAnInnerLoop) {
  uint32_t v, f, t, s, c = lcb(), iv, ic = lcb();
  bin(0, &v);
  bin(1, &f);
  bin(2, &t);
  bin(1, &s);
  bin(0, &iv);
  for (uint32_t tag : {1u, 3u}) {
    uint8_t* outer = beg(true, v, f, t, s, c);
    flag(tag);
    uint8_t* inner = beg(true, iv, f, t, s, ic);
    flag(tag + 1);
    end_loop(true, iv, ic, inner);
    end_loop(true, v, c, outer);
  }
  end();
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_EQ(last_err(), 0u);
  EXPECT_EQ(ii2::flags(), (std::vector<uint32_t>{1, 2, 2, 1, 2, 2, 3, 4, 4, 3, 4, 4}));
}

// An event point keeps the way back of IlfState::kLoops loops (a packed and
// a binary one per letter): an outer loop around 51 others runs to its end.
// One loop more forgets the oldest: the outer loop's END LOOP is then the
// loop error, never a jump elsewhere.
TEST_F(IiCtl, LoopsAtTheLimitOfTheLoopTable) {
  auto nest = [&](uint32_t inner) {
    restart();
    uint32_t v, f, t, s, c = lcb();
    bin(0, &v);
    bin(1, &f);
    bin(2, &t);
    bin(1, &s);
    uint8_t* outer = beg(true, v, f, t, s, c);
    flag(1);
    uint32_t iv, one;
    bin(0, &iv);
    bin(1, &one);
    for (uint32_t i = 0; i < inner; ++i) {
      uint32_t ic = lcb();
      uint8_t* b = beg(true, iv, one, one, one, ic);
      end_loop(true, iv, ic, b);
    }
    end_loop(true, v, c, outer);
    end();
    ii2::flags().clear();
    m.pcb->dbg->err_msg = 0;
    return run(ii2::cref(1, 0));
  };
  EXPECT_EQ(nest(IlfState::kLoops - 1), 1);
  EXPECT_EQ(count(1), 2u);
  EXPECT_EQ(nest(IlfState::kLoops), 300540);
  EXPECT_EQ(last_err(), kIiErrLoop);
  EXPECT_EQ(count(1), 1u);
}

TEST_F(IiCtl, GosubThreeDeepRestoresMasksAndReturnWithoutGosubFails) {
  auto set_level = [&](int level, bool value) { set_tf(uint32_t(12 - 2 * level), value); };
  // main: level 1 true, GOSUB S1, state, END
  // S1: level 1 false, GOSUB S2, state, RETURN
  // S2: level 2 true, GOSUB S3, state, RETURN
  // S3: state (all unset), RETURN
  set_level(1, true);
  uint8_t* g1 = bld_gosub(&m.code, ii2::no_code());
  state();
  end();
  rec::view<IbGosub>(g1).label = here();
  set_level(1, false);
  uint8_t* g2 = bld_gosub(&m.code, ii2::no_code());
  state();
  bld_return(&m.code);
  rec::view<IbGosub>(g2).label = here();
  set_level(2, true);
  uint8_t* g3 = bld_gosub(&m.code, ii2::no_code());
  state();
  bld_return(&m.code);
  rec::view<IbGosub>(g3).label = here();
  state();
  bld_return(&m.code);
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  ASSERT_EQ(g_seen.size(), 4u);
  EXPECT_EQ(g_seen[0].mask, 0x3FFu);  // inside S3: all unset
  EXPECT_EQ(g_seen[0].gosubs, 3);
  EXPECT_EQ(g_seen[1].mask, 0x37Fu);  // back in S2: level 1 unset, level 2 true
  EXPECT_EQ(g_seen[2].mask, 0x2FFu);  // back in S1: level 1 false
  EXPECT_EQ(g_seen[3].mask, 0x1FFu);  // back in main: level 1 true
  EXPECT_EQ(g_seen[3].gosubs, 0);
  // RETURN without GOSUB.
  restart();
  bld_return(&m.code);
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  EXPECT_EQ(last_err(), 300410u);
  // An event point that ends inside a subroutine: the next one starts with
  // an empty list.
  restart();
  uint8_t* g = bld_gosub(&m.code, ii2::no_code());
  end();
  rec::view<IbGosub>(g).label = here();
  state();
  end();
  g_seen.clear();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  ASSERT_EQ(g_seen.size(), 3u);
  for (auto& x : g_seen) EXPECT_EQ(x.gosubs, 1);
}

// GOSUB nests kIiGosubDepth deep; the GOSUB past that is run-time error
// 300420 (the event point ends with 300540, its entries freed, and the next
// run starts from none). A GOSUB that has returned no longer counts.
TEST_F(IiCtl, GosubDepthIsBounded) {
  auto chain = [&](uint32_t n) {
    restart();
    for (uint32_t i = 0; i < n; ++i) {
      auto& in = rec::view<IbGosub>(bld_gosub(&m.code, ii2::no_code()));
      in.label = in.ret;  // on to the next GOSUB, never returning
    }
    state();
    end();
    g_seen.clear();
    m.pcb->dbg->err_msg = 0;
    return run(ii2::cref(1, 0));
  };
  EXPECT_EQ(chain(kIiGosubDepth + 1), 300540);
  EXPECT_EQ(last_err(), kIiErrGosub);
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(chain(kIiGosubDepth), 1);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].gosubs, int(kIiGosubDepth));
  EXPECT_EQ(last_err(), 0u);
  restart();
  std::vector<uint8_t*> calls;
  for (uint32_t i = 0; i < 2 * kIiGosubDepth; ++i) calls.push_back(bld_gosub(&m.code, ii2::no_code()));
  state();
  end();
  CodeRef sub = here();
  bld_return(&m.code);
  for (uint8_t* g : calls) rec::view<IbGosub>(g).label = sub;
  g_seen.clear();
  // The entries RETURN gave back for the next GOSUB go back to the
  // interpreter's pool when the event point ends.
  MmPool pool = mm_create_pool(" IIPOOL    ", com.base_scope, 0);
  size_t live = mm_pool_live(pool);
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].gosubs, 0);
  EXPECT_EQ(mm_pool_live(pool), live);
}

// GOSUBs nested past the ones the state holds in itself return in order,
// each to its caller's truth mask, and leave nothing allocated.
TEST_F(IiCtl, GosubsNestedPastTheStatesOwnReturnInOrder) {
  const int deep = int(IlfState::kGosubNear) + 4;
  std::vector<uint8_t*> calls;
  for (int i = 0; i < deep; ++i) {
    if (i) rec::view<IbGosub>(calls.back()).label = here();
    set_tf(10, i % 2 == 0);  // level 1 true in the even routines
    calls.push_back(bld_gosub(&m.code, ii2::no_code()));
    state();
    if (i) bld_return(&m.code);
    else end();
  }
  rec::view<IbGosub>(calls.back()).label = here();
  bld_return(&m.code);
  // The entries past the state's own go back to the interpreter's pool.
  MmPool pool = mm_create_pool(" IIPOOL    ", com.base_scope, 0);
  size_t live = mm_pool_live(pool);
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_EQ(mm_pool_live(pool), live);
  ASSERT_EQ(g_seen.size(), size_t(deep));
  for (int k = 0; k < deep; ++k) {  // back in routine deep - 1 - k
    int i = deep - 1 - k;
    EXPECT_EQ(g_seen[size_t(k)].gosubs, i);
    EXPECT_EQ((g_seen[size_t(k)].mask >> 8) & 3, i % 2 == 0 ? 1u : 2u) << k;
  }
}

TEST_F(IiCtl, OverflowTrapTimeoutAndSelectionBranches) {
  // OVERFLOW sets the trap; a blank label clears it; an error then unwinds.
  uint8_t* ov = bld_overflow(&m.code, ii2::no_code());
  bld_abort(&m.code, 300540);
  flag(9);  // not reached
  CodeRef trap = flag(1);
  bld_overflow(&m.code, ii2::no_code());
  bld_abort(&m.code, 300540);
  end();
  rec::view<IbLabel>(ov).label = trap;
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  EXPECT_EQ(ii2::flags(), std::vector<uint32_t>{1});
  // Another message ignores the trap.
  restart();
  ov = bld_overflow(&m.code, ii2::no_code());
  bld_abort(&m.code, 102710);
  end();
  rec::view<IbLabel>(ov).label = here();
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  EXPECT_EQ(last_err(), 102710u);

  // TIMEOUT: seconds from register 1; negative gives 0; packed rounds.
  restart();
  uint32_t sb, sp, sn;
  bin(-5, &sn);
  bin(7, &sb);
  set_pd(field(9, &sp), "2.5");
  state();
  bld_ira(&m.code, sb, 1);
  bld_timeout(&m.code, ii2::cref(1, 0), 5, 4, true);
  state();
  bld_ira(&m.code, sn, 1);
  bld_timeout(&m.code, ii2::cref(1, 0), 5, 4, true);
  state();
  bld_ira(&m.code, sp, 1);
  bld_timeout(&m.code, ii2::cref(1, 0), 12, 9, true);
  state();
  bld_timeout_clr(&m.code);
  state();
  end();
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  ASSERT_EQ(g_seen.size(), 5u);
  EXPECT_EQ(g_seen[0].secs, -1);
  EXPECT_FALSE(g_seen[0].label);
  EXPECT_EQ(g_seen[1].secs, 7);
  EXPECT_TRUE(g_seen[1].label);
  EXPECT_EQ(g_seen[2].secs, 0);
  EXPECT_EQ(g_seen[3].secs, 3);
  EXPECT_EQ(g_seen[4].secs, -1);
  EXPECT_FALSE(g_seen[4].label);

  // TIMEOUT from a 2-byte binary, a 1-byte one signed and unsigned, and a
  // packed field without a scale byte.
  restart();
  uint32_t w2, w1, p8;
  uint8_t* f2 = field(2, &w2);
  f2[0] = 0x2C;  // 300
  f2[1] = 0x01;
  field(1, &w1)[0] = 0xFD;  // -3 signed, 253 unsigned
  uint8_t* f8 = field(2, &p8);
  f8[0] = 0x12;  // 123
  f8[1] = uint8_t(0x30 | com.pd_pos);
  for (auto [ira, type, len, sgn] : {std::tuple{w2, 5, 2, true}, std::tuple{w1, 5, 1, true},
                                     std::tuple{w1, 5, 1, false}, std::tuple{p8, 8, 2, true}}) {
    bld_ira(&m.code, ira, 1);
    bld_timeout(&m.code, ii2::cref(1, 0), uint8_t(type), uint8_t(len), sgn);
    state();
  }
  end();
  g_seen.clear();
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  ASSERT_EQ(g_seen.size(), 4u);
  EXPECT_EQ(g_seen[0].secs, 300);
  EXPECT_EQ(g_seen[1].secs, 0);
  EXPECT_EQ(g_seen[2].secs, 253);
  EXPECT_EQ(g_seen[3].secs, 123);

  // BR_COND and EXIT_COND on level 1.
  restart();
  set_tf(10, true);  // level 1 true
  uint8_t* br = bld_br_cond(&m.code, 2, ii2::no_code());  // not taken
  flag(1);
  uint8_t* br2 = bld_br_cond(&m.code, 1, ii2::no_code());  // taken
  flag(9);
  CodeRef over = flag(2);
  rec::view<IbCond>(br).to = over;
  rec::view<IbCond>(br2).to = over;
  bld_exit_cond(&m.code, 2);
  flag(3);
  bld_exit_cond(&m.code, 1);
  flag(9);
  end();
  ii2::flags().clear();
  uint32_t mask = 0;
  ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1);
  EXPECT_EQ(ii2::flags(), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(mask, 0x1FFu);
}

TEST_F(IiCtl, WaysOutOfAnEventPoint) {
  auto leave = [&](auto build) {
    restart();
    build();
    return run(ii2::cref(1, 0));
  };
  m.pcb->invoc.kind = 0;
  EXPECT_EQ(leave([&] { bld_exit(&m.code); }), 3);
  m.pcb->invoc.kind = 1;
  EXPECT_EQ(leave([&] { bld_exit(&m.code); }), 2);
  m.pcb->invoc.kind = 2;
  EXPECT_EQ(leave([&] { bld_exit(&m.code); }), 2);
  EXPECT_EQ(leave([&] { bld_end_proc(&m.code); }), 2);
  EXPECT_EQ(leave([&] { bld_logout(&m.code, true); }), 25);
  EXPECT_EQ(leave([&] { bld_logout(&m.code, false); }), 24);
  EXPECT_EQ(leave([&] { bld_end(&m.code, true); }), 1);
}

// The run-time error handler with a scripted debugger: it is asked again
// while it answers 100; CANCEL (278) ends the event point with code 4 and
// OPTION 278; a debugger that clears the error goes on where it left the
// instruction pointer.
int g_answers = 0;
TEST_F(IiCtl, ErrorHandlerWithAScriptedDebugger) {
  bld_abort(&m.code, 300540);
  flag(1);
  end();
  g_answers = 0;
  proc_svc.dbg_stmt = [](IlfExecBlock*, void*, int* option) {
    *option = ++g_answers < 3 ? 100 : 278;
    return true;
  };
  EXPECT_EQ(run(ii2::cref(1, 0)), 4);
  EXPECT_EQ(g_answers, 3);
  EXPECT_EQ(m.status->option.get(), 278);
  EXPECT_EQ(last_err(), 300540u);
  EXPECT_TRUE(ii2::flags().empty());
  // The debugger takes the error and moves on past the ABORT.
  proc_svc.dbg_stmt = [](IlfExecBlock* b, void* st, int* option) {
    auto* s = static_cast<IlfState*>(st);
    b->pcb->dbg->err_pending = 0;
    s->pc = ii_adv(s->pc, 12);
    *option = 0;
    return false;
  };
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_EQ(ii2::flags(), std::vector<uint32_t>{1});
}

}  // namespace
