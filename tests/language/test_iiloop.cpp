// Loop plans against the instructions: random packed loops run once with
// loop plans and once without, from the same bytes, must leave the same
// fields, loop control block, truth mask, registers and completion.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/pacdec.h"
#include "foundation/ssunix.h"
#include "language/ibdate.h"
#include "language/ibfld.h"
#include "language/ibmath.h"
#include "language/ibmisc.h"
#include "language/ii2_fix.h"
#include "process/em.h"

namespace {

using ii2::cases;
using ii2::seed;

// PROBE (98, 4 bytes): what the interpreter's registers hold there.
constexpr uint16_t kOpProbe = 98;
struct Probe {
  uint32_t mask = 0, depth = 0;
  uint16_t len[4] = {};
  long addr[4] = {};  // a data address, or -1 - k for work value k
  uint8_t work[2][16] = {};
  bool operator==(const Probe& o) const {
    return mask == o.mask && depth == o.depth && std::memcmp(len, o.len, sizeof len) == 0 &&
           std::memcmp(addr, o.addr, sizeof addr) == 0 && std::memcmp(work, o.work, sizeof work) == 0;
  }
};
std::vector<Probe>& probes() {
  static std::vector<Probe> v;
  return v;
}
uint8_t* h_probe(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  Probe p;
  p.mask = s->mask;
  p.depth = s->calc_count;
  for (int k = 0; k < 4; ++k) {
    p.len[k] = s->len[k];
    p.addr[k] = long(reinterpret_cast<uintptr_t>(s->addr[k]));
    for (int w = 0; w < 4; ++w)
      if (s->addr[k] == s->work[w]) p.addr[k] = -1 - w;
  }
  std::memcpy(p.work[0], s->work[0], 16);
  std::memcpy(p.work[1], s->work[1], 16);
  probes().push_back(p);
  return ii_adv(pc, 4);
}

struct Gen {
  std::mt19937_64 rng;
  uint64_t u(uint64_t n) { return rng() % n; }
  // A value near a bound of 15 digits as often as a small one.
  int64_t value() {
    static const int64_t kP[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000,
                                 10000000000, 100000000000, 1000000000000, 10000000000000, 100000000000000,
                                 1000000000000000};
    int64_t v;
    switch (u(5)) {
      case 0: v = int64_t(u(10)); break;
      case 1: v = int64_t(u(2000)); break;
      case 2: v = kP[15] - 1 - int64_t(u(3000)); break;
      case 3: v = kP[13 + u(3)] + int64_t(u(2000)) - 1000; break;
      default: v = int64_t(u(uint64_t(kP[1 + u(15)]))); break;
    }
    if (v >= kP[15]) v = kP[15] - 1;
    return u(3) == 0 ? -v : v;
  }
};

void put(uint8_t* p, int64_t v, int scale) {
  uint64_t a = v < 0 ? uint64_t(-v) : uint64_t(v);
  pacdec::store8(p, pacdec::bin_to_bcd(a) << 4 | (v < 0 ? com.pd_neg : com.pd_pos));
  p[8] = uint8_t(scale);
}

// A fixed packed field of len bytes: v if it has the digits, else its
// lowest ones.
void put_fixed(uint8_t* p, int len, int64_t v) {
  uint64_t a = v < 0 ? uint64_t(-v) : uint64_t(v);
  uint64_t lim = 1;
  for (int i = 0; i < 2 * len - 1; ++i) lim *= 10;
  pacdec::store_be(p, pacdec::bin_to_bcd(a % lim) << 4 | (v < 0 ? com.pd_neg : com.pd_pos), len);
}

// The value of a packed 8-byte field (its scale aside).
int64_t value_of(const uint8_t* p) {
  uint64_t w = pacdec::load8(p);
  int64_t m = int64_t(pacdec::bcd_to_bin(w >> 4));
  return (w & 0xF) == com.pd_neg ? -m : m;
}

class IiLoop : public ii2::Fix {
 protected:
  static constexpr int kVars = 6, kCnsts = 6, kFixed = 3;
  static constexpr int kFixedLen[kFixed] = {3, 5, 8};
  // Fixed packed fields (the last a constant, read through CNST), and each
  // one's scale in a case's statements, mostly.
  uint32_t ira_fx[kFixed] = {};
  uint8_t* fx[kFixed] = {};
  int fx_sc[kFixed] = {};
  uint8_t fixed_scale(Gen& g, int k) { return g.u(24) == 0 ? 32 : g.u(6) == 0 ? uint8_t(g.u(4)) : uint8_t(fx_sc[k]); }
  static int64_t fixed_limit(int k) { return int64_t(pacdec::limit(kFixedLen[k])); }
  uint32_t ira[kVars] = {}, ira_i = 0, ira_from = 0, ira_to = 0, ira_step = 0, ira_lcb = 0, ira_bin = 0;
  uint8_t* var[kVars] = {};
  uint8_t* cn[kCnsts] = {};
  // Dates under the mask CCYYMMDD: a text, a binary day number and a packed
  // field, a text constant; now and then (with extra) a packed date over
  // the low bytes of the third variable, which the body may change.
  static constexpr int kDates = 3;
  static constexpr uint8_t kDateType[kDates] = {4, 7, 10};
  static constexpr uint16_t kDateLen[kDates] = {8, 4, 5};
  uint32_t ira_dt[kDates] = {}, ira_dt_var = 0;
  uint8_t* dt[kDates] = {};
  uint8_t* dt_cn = nullptr;
  // Texts of 6, 20 and 20 bytes, a text constant of 6; now and then (with
  // extra) texts of 6 over the low digits of the third and fifth
  // variables, which the body may change, and over the second text from
  // its fourth byte.
  static constexpr int kTexts = 3;
  static constexpr uint16_t kTextLen[kTexts] = {6, 20, 20};
  uint32_t ira_tx[kTexts] = {}, ira_tx_var[3] = {};
  uint8_t* tx[kTexts] = {};
  uint8_t* tx_cn = nullptr;
  // Text operand k into address register reg: the texts, the text
  // constant, the date constant (8), then (extra) those over other fields.
  // Its length.
  static constexpr int kTextOps = kTexts + 2, kTextOpsExtra = kTextOps + 3;
  uint16_t text_op(uint64_t k, int reg) {
    if (k < kTexts) bld_ira(&m.code, ira_tx[k], reg);
    else if (k == kTexts) cnst_at(tx_cn, reg);
    else if (k == kTexts + 1) cnst_at(dt_cn, reg);
    else bld_ira(&m.code, ira_tx_var[k - kTextOps], reg);
    return k < kTexts ? kTextLen[k] : k == kTexts + 1 ? 8 : 6;
  }
  // Constant divisors: of 2s and 5s mostly, at scales up to 16.
  static constexpr int kDivs = 2;
  uint8_t* dv[kDivs] = {};
  uint8_t *vi = nullptr, *vfrom = nullptr, *vto = nullptr, *vstep = nullptr, *lcb = nullptr, *bin = nullptr;
  // A second binary field (COMPUTE's operand, read as 1, 2 or 4 bytes) and
  // a binary constant of 4 bytes.
  uint32_t ira_bin2 = 0;
  uint8_t *bin2 = nullptr, *bcn = nullptr;
  // Forms of the review: field indexes that alias a variable (the same
  // field), overlap one, or overlap the loop control block; a constant
  // field for CALC I = I + c (c in the loop's direction).
  bool extra = false;
  uint32_t ira_same = 0, ira_half = 0, ira_in_lcb = 0, ira_ci = 0;
  uint8_t* ci = nullptr;
  // An inner loop J FROM 1 TO .. STEP 1 with its own control block; with
  // nested, in most bodies and mostly of 0-3 iterations (entered again and
  // again: its plan, once built, runs from its first iteration).
  bool nested = false;
  uint32_t ira_j = 0, ira_jfrom = 0, ira_jto = 0, ira_jstep = 0, ira_lcb2 = 0;
  uint8_t *vjfrom = nullptr, *vjto = nullptr, *vjstep = nullptr;
  bool in_inner = false;
  // GOSUBs of the body whose routines follow the event point's END; a
  // routine called twice, or one that calls another, has no plan.
  std::vector<uint8_t*> gosubs;
  std::vector<std::pair<uint8_t*, size_t>> again;  // a second GOSUB of routine k
  bool in_routine = false;
  // Arrays an occurrence reaches: 4 signed words right before the first
  // variable and 4 texts of 8 right before the first text (the element past
  // the last is that field), each its own data area in the module's area
  // table (an OCC with no maximum stops at its end); the index fields IX
  // (packed) and IXB (binary), which the body never stores.
  static constexpr int kElems = 4;
  uint32_t ira_nw = 0, ira_xt = 0, ira_ix = 0, ira_ixb = 0;
  uint8_t *nw = nullptr, *xt = nullptr, *ix = nullptr, *ixb = nullptr;
  void SetUp() override {
    Fix::SetUp();
    ii_set_pair(kOpProbe, h_probe);
    nw = field(4 * kElems, &ira_nw);
    for (int k = 0; k < kVars; ++k) var[k] = field(9, &ira[k]);
    uint32_t unused;
    for (int k = 0; k < kCnsts; ++k) cn[k] = field(9, &unused);
    for (int k = 0; k < kDivs; ++k) dv[k] = field(9, &unused);
    for (int k = 0; k < kDates; ++k) dt[k] = field(kDateLen[k], &ira_dt[k]);
    dt_cn = field(8, &unused);
    field(1, &ira_dt_var);
    areas[ira_dt_var].set(var[2] + 3);
    xt = field(8 * kElems, &ira_xt);
    for (int k = 0; k < kTexts; ++k) tx[k] = field(kTextLen[k], &ira_tx[k]);
    tx_cn = field(6, &unused);
    for (int k = 0; k < 3; ++k) {
      field(1, &ira_tx_var[k]);
      areas[ira_tx_var[k]].set(k < 2 ? var[2 + 2 * k] + 3 : tx[1] + 3);
    }
    vi = field(9, &ira_i);
    vfrom = field(9, &ira_from);
    vto = field(9, &ira_to);
    vstep = field(9, &ira_step);
    lcb = field(28, &ira_lcb);
    bin = field(4, &ira_bin);
    bin2 = field(4, &ira_bin2);
    bcn = field(4, &unused);
    ci = field(9, &ira_ci);
    for (int k = 0; k < kFixed; ++k) fx[k] = field(kFixedLen[k], &ira_fx[k]);
    uint8_t* unused_p = field(1, &ira_same);
    (void)unused_p;
    areas[ira_same].set(var[0]);
    field(1, &ira_half);
    areas[ira_half].set(var[1] + 4);
    field(1, &ira_in_lcb);
    areas[ira_in_lcb].set(lcb + 8);
    field(9, &ira_j);
    vjfrom = field(9, &ira_jfrom);
    vjto = field(9, &ira_jto);
    vjstep = field(9, &ira_jstep);
    field(28, &ira_lcb2);
    ix = field(9, &ira_ix);
    ixb = field(4, &ira_ixb);
    auto* table = static_cast<EmAreaEntry*>(MM_ALLOC(m.pool, sizeof(EmAreaEntry) * (kFields + 1)));
    std::memset(table, 0, sizeof(EmAreaEntry) * (kFields + 1));
    table[0].index = ira_nw;
    table[0].size = 4 * kElems;
    table[1].index = ira_xt;
    table[1].size = 8 * kElems;
    m.em->area_table.set(reinterpret_cast<uint8_t*>(table));
  }
  // The outer loop's FROM, TO and STEP, and its BEG LOOP I at the end of
  // the code.
  void bounds(int64_t from, int64_t to, int64_t step) {
    put(vfrom, from, 0);
    put(vto, to, 0);
    put(vstep, step, 0);
  }
  uint8_t* beg_i() { return beg(false, ira_i, ira_from, ira_to, ira_step, ira_lcb); }
  // BEG LOOP J FROM JFROM TO constant 0 STEP JSTEP, its control block lcb.
  uint8_t* beg_j(uint32_t lcb) {
    bld_ira(&m.code, ira_j, 1);
    bld_ira(&m.code, ira_jfrom, 2);
    cnst(0, 3);
    bld_ira(&m.code, ira_jstep, 4);
    for (int r = 1; r <= 4; ++r) bld_addr_len(&m.code, r, 9);
    return bld_beg_loop(&m.code, false, lcb);
  }
  // The inner loop around a body of one or two statements; now and then
  // the calculation stack emptied before it (its body's end leaves a depth),
  // now and then TO and STEP constants (CNST of their fields' bytes).
  void inner_loop(Gen& g, bool* refused) {
    if (g.u(3) == 0) bld_calc_reset(&m.code);
    uint8_t* loop;
    if (g.u(3) == 0) {
      bld_ira(&m.code, ira_j, 1);
      bld_ira(&m.code, ira_jfrom, 2);
      cnst_at(vjto, 3);
      cnst_at(vjstep, 4);
      for (int r = 1; r <= 4; ++r) bld_addr_len(&m.code, r, 9);
      loop = bld_beg_loop(&m.code, false, ira_lcb2);
    } else {
      loop = beg(false, ira_j, ira_jfrom, ira_jto, ira_jstep, ira_lcb2);
    }
    in_inner = true;
    body(g, 1 + int(g.u(2)), refused);
    in_inner = false;
    end_loop(false, ira_j, ira_lcb2, loop);
  }
  void TearDown() override {
    ii_loop_set_plans(true);
    Fix::TearDown();
  }
  void probe() { m.emit(kOpProbe, 4); }
  // The loop's end, the event point's end, and the OVERFLOW label's code
  // (ov, when set) after it.
  void close_loop(uint8_t* loop, uint8_t* ov) {
    end_loop(false, ira_i, ira_lcb, loop);
    probe();
    end();
    if (ov) {
      rec::view<IbLabel>(ov).label = here();
      probe();
      flag(1);
      end();
    }
  }
  // CALC t = t + a over packed fields.
  void calc_add(uint32_t t, uint32_t a) {
    for (uint32_t f : {t, t, a}) {
      bld_ira(&m.code, f, 1);
      bld_calc_load(&m.code, 12);
    }
    bld_calc_eval(&m.code, '+');
    bld_calc_eval(&m.code, '=');
  }
  void differential(Gen& g, long n);
  // BEG LOOP I FROM 1 TO to; CALC V = form (postfix over V, X, I and the
  // divisor 4); END LOOP, with the OVERFLOW label's code when ov.
  void form_loop(const char* form, int64_t to, bool ov) {
    put(dv[0], 4, 0);
    bounds(1, to, 1);
    restart();
    uint8_t* ov_at = ov ? bld_overflow(&m.code, ii2::no_code()) : nullptr;
    uint8_t* loop = beg_i();
    bld_calc_reset(&m.code);
    bld_ira(&m.code, ira[0], 1);
    bld_calc_load(&m.code, 12);
    for (const char* c = form; *c; ++c) {
      if (std::strchr("VXI4", *c)) {
        if (*c == '4') cnst_at(dv[0], 1);
        else bld_ira(&m.code, *c == 'V' ? ira[0] : *c == 'X' ? ira[1] : ira_i, 1);
        bld_calc_load(&m.code, 12);
      } else {
        bld_calc_eval(&m.code, *c);
      }
    }
    bld_calc_eval(&m.code, '=');
    close_loop(loop, ov_at);
  }
  // Runs the code from the data as it is, with plans and without (plans
  // first or second: the first run relocates the code and plans the CALC
  // statements), and compares the fields, completion, mask, flags and
  // probes they leave, and (watch_errors) the run-time error: empty when
  // the same. *rc: the first's completion.
  std::string both_ways(bool plans_first, int* rc) {
    std::vector<uint8_t> start(data, data + used), first(start.size());
    int rcs[2];
    uint32_t mask[2], err[2];
    std::vector<uint32_t> fl[2];
    std::vector<Probe> pr[2];
    for (int run_no = 0; run_no < 2; ++run_no) {
      std::memcpy(data, start.data(), start.size());
      ii_loop_set_plans(run_no == 0 ? plans_first : !plans_first);
      ii2::flags().clear();
      probes().clear();
      if (m.pcb->dbg) m.pcb->dbg->err_msg = 0;
      rcs[run_no] = run(ii2::cref(1, 0), &mask[run_no]);
      err[run_no] = last_err();
      fl[run_no] = ii2::flags();
      pr[run_no] = probes();
      if (run_no == 0) std::memcpy(first.data(), data, first.size());
    }
    *rc = rcs[0];
    if (rcs[0] == rcs[1] && mask[0] == mask[1] && err[0] == err[1] && fl[0] == fl[1] && pr[0] == pr[1] &&
        std::memcmp(first.data(), data, first.size()) == 0)
      return "";
    size_t at = 0;
    while (at < first.size() && first[at] == data[at]) ++at;
    return "completion " + std::to_string(rcs[0]) + "/" + std::to_string(rcs[1]) + ", error " + std::to_string(err[0]) +
           "/" + std::to_string(err[1]) + ", mask " + std::to_string(mask[0]) +
           "/" + std::to_string(mask[1]) + ", flags " + std::to_string(fl[0].size()) + "/" +
           std::to_string(fl[1].size()) + ", probes " + (pr[0] == pr[1] ? "same" : "differ") +
           ", first differing data byte " + std::to_string(at);
  }
  // The routines of the GOSUBs: a statement or two, now and then an early
  // (T) RETURN among them, and RETURN.
  void routines(Gen& g, bool* refused) {
    in_routine = true;
    for (size_t k = 0; k < gosubs.size(); ++k) {
      rec::view<IbGosub>(gosubs[k]).label = here();
      for (auto& [go, r] : again)
        if (r == k) rec::view<IbGosub>(go).label = here();
      body(g, 1 + int(g.u(2)), refused);
      if (g.u(3) == 0) {
        uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x1FF);
        bld_return(&m.code);
        rec::view<IbTfc>(tfc).to = here();
        body(g, 1, refused);
      }
      bld_return(&m.code);
    }
    in_routine = false;
  }
  // BEG LOOP I; `first`; IF (fields ra, rb by a and b) rel (T) CALC A = A
  // + D (the first variable and the fourth); END LOOP; END.
  void loop_if_sum(const std::function<void()>& first, IbTstOp a, uint32_t ra, IbTstOp b, uint32_t rb, uint8_t rel) {
    restart();
    uint8_t* loop = beg_i();
    first();
    bld_ira(&m.code, ra, 1);
    bld_ira(&m.code, rb, 2);
    uint32_t msg = 0;
    ASSERT_EQ(bld_if_and_or(&m.code, a, b, rel, 38, 10, &msg), 1) << msg;
    uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x1FF);
    bld_calc_reset(&m.code);
    calc_add(ira[0], ira[3]);
    rec::view<IbTfc>(tfc).to = here();
    end_loop(false, ira_i, ira_lcb, loop);
    end();
  }
  // BEG LOOP I FROM 1 TO n; CALC A = A + I; END LOOP, with A the first
  // variable, from 0.
  void sum_loop(int64_t n) {
    put(var[0], 0, 0);
    bounds(1, n, 1);
    restart();
    uint8_t* loop = beg_i();
    bld_calc_reset(&m.code);
    calc_add(ira[0], ira_i);
    end_loop(false, ira_i, ira_lcb, loop);
    end();
  }
  // Runs the code with a network terminal whose every ping calls ping.
  int run_pinging(bool (*ping)()) {
    com.net_socket = 1;
    ss_set_ping(ping);
    int rc = run(ii2::cref(1, 0));
    com.net_socket = 0;
    ss_set_ping(nullptr);
    return rc;
  }
  // CNST_n already relocated: the constant's arena offset.
  void cnst(int k, int reg) { cnst_at(cn[k], reg); }
  void cnst_at(uint8_t* f, int reg) {
    uint8_t* p = m.emit(uint16_t(53 + 2 * (reg - 1)), 8);
    rec::view<rec::U32>(p + 4) = arena::offset_of(f);
  }
  void load(Gen& g, int reg) {
    if (extra && g.u(12) == 0) {
      uint64_t k = g.u(4);
      bld_ira(&m.code, k == 0 ? ira_same : k == 1 ? ira_half : k == 2 ? ira_in_lcb : ira_ci, reg);
      return;
    }
    uint64_t k = g.u(8);
    if (k < 5) bld_ira(&m.code, ira[g.u(kVars)], reg);
    else if (k < 7) cnst(int(g.u(kCnsts)), reg);
    else bld_ira(&m.code, ira_i, reg);
  }
  void expr(Gen& g, int leaves, bool* refused) {
    if (leaves <= 1 && g.u(8) == 0) {  // the binary field as a CALC integer, made packed
      bld_ira(&m.code, ira_bin, 1);
      bld_calc_load(&m.code, 5);
      bld_calc_eval(&m.code, '$');
      return;
    }
    if (leaves <= 1) {
      load(g, 1);
      bld_calc_load(&m.code, 12);
      if (g.u(10) == 0) bld_calc_eval(&m.code, '~');
      return;
    }
    uint64_t k = g.u(16);
    char op = k < 2 ? '/' : "+-*"[k % 3];
    // Most divisions are by a constant divisor.
    bool by_dv = op == '/' && g.u(4) != 0;
    int l = by_dv ? leaves - 1 : 1 + int(g.u(uint64_t(leaves - 1)));
    expr(g, l, refused);
    if (by_dv) {
      cnst_at(dv[g.u(kDivs)], 1);
      bld_calc_load(&m.code, 12);
    } else {
      expr(g, leaves - l, refused);
    }
    bld_calc_eval(&m.code, op);
  }
  void calc(Gen& g, bool* refused) {
    bld_calc_reset(&m.code);
    if (extra && g.u(10) == 0) {  // I = I + c, c in the loop's direction: the loop still ends
      calc_add(ira_i, ira_ci);
      return;
    }
    if (extra && g.u(16) == 0) {  // a store through an alias of the first variable
      bld_ira(&m.code, ira_same, 1);
      bld_calc_load(&m.code, 12);
      expr(g, 1 + int(g.u(3)), refused);
      bld_calc_eval(&m.code, '=');
      return;
    }
    if (g.u(6) == 0) {  // a running sum of quotients by a divisor: V = V + x / d, V - x / d or x / d - V
      uint32_t t = ira[g.u(kVars)];
      int form = int(g.u(3));
      auto var = [&] {
        bld_ira(&m.code, t, 1);
        bld_calc_load(&m.code, 12);
      };
      auto quotient = [&] {
        load(g, 1);
        bld_calc_load(&m.code, 12);
        cnst_at(dv[g.u(kDivs)], 1);
        bld_calc_load(&m.code, 12);
        bld_calc_eval(&m.code, '/');
      };
      var();
      if (form < 2) var();
      quotient();
      if (form == 2) var();
      bld_calc_eval(&m.code, form == 0 ? '+' : '-');
      bld_calc_eval(&m.code, '=');
      return;
    }
    bool to_bin = g.u(10) == 0;  // into the binary field, rounded to its word
    bld_ira(&m.code, to_bin ? ira_bin : ira[g.u(kVars)], 1);  // (never the loop variable: the loop would not end)
    bld_calc_load(&m.code, to_bin ? 5 : 12);
    expr(g, 1 + int(g.u(4)), refused);
    bld_calc_eval(&m.code, '=');
  }
  // IF, AND or OR (an AND on an unset level is a run-time error) of two
  // variable packed operands, or of fixed packed ones at scales of 0-3 (now
  // and then past 31).
  void test_if(Gen& g, uint32_t shift) {
    static const int kVerbs[] = {38, 38, 51, 52};
    IbTstOp op[2];
    if (g.u(6) == 0) {  // two texts
      for (int r = 1; r <= 2; ++r) {
        uint64_t k = extra && g.u(3) == 0 ? kTextOps + g.u(3) : g.u(kTextOps);
        op[r - 1] = {1, text_op(k, r), 0, true, false, nullptr};
      }
      uint32_t msg = 0;
      ASSERT_EQ(bld_if_and_or(&m.code, op[0], op[1], uint8_t(1 + g.u(6)), kVerbs[g.u(4)], shift, &msg), 1) << msg;
      return;
    }
    if (g.u(6) == 0) {  // two dates
      for (int r = 1; r <= 2; ++r) {
        uint64_t k = g.u(extra ? 5 : 4);
        op[r - 1] = {k < kDates ? kDateType[k] : k == kDates ? uint8_t(4) : uint8_t(10),
                     k < kDates ? kDateLen[k] : k == kDates ? uint16_t(8) : uint16_t(5), 0, true, false, "08070605"};
        if (k == kDates) cnst_at(dt_cn, r);
        else bld_ira(&m.code, k < kDates ? ira_dt[k] : ira_dt_var, r);
      }
      uint32_t msg = 0;
      ASSERT_EQ(bld_if_and_or(&m.code, op[0], op[1], uint8_t(1 + g.u(6)), kVerbs[g.u(4)], shift, &msg), 1) << msg;
      return;
    }
    for (int r = 1; r <= 2; ++r) {
      if (g.u(3) == 0) {
        int k = int(g.u(kFixed));
        if (k == kFixed - 1) {
          uint8_t* p = m.emit(uint16_t(53 + 2 * (r - 1)), 8);
          rec::view<rec::U32>(p + 4) = arena::offset_of(fx[k]);
        } else {
          bld_ira(&m.code, ira_fx[k], r);
        }
        op[r - 1] = {8, uint16_t(kFixedLen[k]), fixed_scale(g, k), true, false, nullptr};
      } else {
        load(g, r);
        op[r - 1] = {12, 9, 0, true, false, nullptr};
      }
    }
    uint32_t msg = 0;
    ASSERT_EQ(bld_if_and_or(&m.code, op[0], op[1], uint8_t(1 + g.u(6)), kVerbs[g.u(4)], shift, &msg), 1) << msg;
  }
  // SET of a text from a text or a text constant, padded with blanks when
  // the target is longer; now and then (with extra) of the text date from
  // the date constant; or DATE ADD of days to the text date, the count a
  // packed constant, variable, the loop variable or the binary field.
  void text_move(Gen& g) {
    if (g.u(3) == 0) {  // DATE ADD of days to the text date
      bld_ira(&m.code, ira_dt[0], 1);
      uint64_t k = g.u(4);
      uint8_t type = k == 3 ? 5 : 12, len = k == 3 ? 4 : 9;
      if (k == 0) cnst(int(g.u(kCnsts)), 2);
      else bld_ira(&m.code, k == 1 ? ira[g.u(kVars)] : k == 2 ? ira_i : ira_bin, 2);
      ASSERT_NE(bld_date_add(&m.code, IbDateOp{kDtText, 8, "08070605"}, type, len, true, 0, 1, kOpDateAddDd), nullptr);
      return;
    }
    if (extra && g.u(4) == 0) {
      bld_ira(&m.code, ira_dt[0], 1);
      cnst_at(dt_cn, 2);
      bld_move_char(&m.code, 8);
      return;
    }
    uint16_t len[2];
    for (int r = 1; r <= 2; ++r) {  // (no constant a target)
      uint64_t k = extra && g.u(3) == 0 ? kTextOps + g.u(3) : g.u(r == 1 ? kTexts : kTextOps);
      len[r - 1] = text_op(k, r);
    }
    if (len[0] > len[1]) bld_move_char_pad(&m.code, len[1], uint16_t(len[0] - len[1]));
    else bld_move_char(&m.code, len[0]);
  }
  // A packed operand in register 2: a fixed field or constant at the
  // case's scale (now and then past 31: no plan), or a variable or
  // constant (load).
  IbNum packed_operand(Gen& g, bool* refused) {
    if (g.u(3) == 0) {
      int k = int(g.u(kFixed));
      if (k == kFixed - 1) cnst_at(fx[k], 2);
      else bld_ira(&m.code, ira_fx[k], 2);
      IbNum o{8, uint8_t(kFixedLen[k]), fixed_scale(g, k), 0, true};
      *refused |= o.scale > 31;
      return o;
    }
    load(g, 2);
    return IbNum{12, 9, 0, 15, true};
  }
  // COMPUTE of a variable packed field by +, - or * (now and then /: no
  // plan) of a variable packed field or constant, or of a fixed packed
  // field or constant at scales of 0-3, 31 and now and then 32 (no plan);
  // or of the binary field by + or - (now and then *: no plan) of itself,
  // the second binary field read as 1, 2 or 4 bytes, signed or not, or the
  // binary constant, all at scale 0 (now and then 1: no plan).
  void compute(Gen& g, bool* refused) {
    if (g.u(3) == 0) {
      bld_ira(&m.code, ira_bin, 1);
      IbNum t{5, 4, 0, 9, true}, o{5, 4, 0, 9, true};
      uint64_t k = g.u(4);
      if (k == 0) {
        bld_ira(&m.code, ira_bin, 2);
      } else if (k == 1) {
        cnst_at(bcn, 2);
      } else {
        static const uint8_t kLens[3] = {1, 2, 4};
        bld_ira(&m.code, ira_bin2, 2);
        o.len = kLens[g.u(3)];
        o.is_signed = g.u(2) == 0;
      }
      if (g.u(30) == 0) t.scale = o.scale = 1;
      char op = g.u(30) == 0 ? '*' : g.u(2) ? '+' : '-';
      *refused |= t.scale != 0 || op == '*';
      ASSERT_NE(bld_compute(&m.code, t, o, op), nullptr);
      return;
    }
    bld_ira(&m.code, ira[g.u(kVars)], 1);  // (never the loop variable: the loop would not end)
    IbNum t{12, 9, 0, 15, true}, o = packed_operand(g, refused);
    char op = g.u(40) == 0 ? '/' : "+-*"[g.u(3)];
    *refused |= op == '/';
    ASSERT_NE(bld_compute(&m.code, t, o, op), nullptr);
  }
  // SET of the binary field (4 bytes signed at scale 0; now and then 2
  // bytes, unsigned or at scale 1: no plan) from a variable packed field or
  // constant, or a fixed packed field or constant at scales of 0-3, 31 and
  // now and then 32 (no plan); or SET of a variable packed field from the
  // binary fields read as 1, 2 or 4 bytes, signed or not, or the binary
  // constant, at scales of 0-3, 31 and now and then 32 (no plan).
  void set_bin(Gen& g, bool* refused) {
    static const uint16_t kScales[] = {0, 0, 1, 2, 3, 31};
    if (g.u(2) == 0) {
      bld_ira(&m.code, ira_bin, 1);
      bool var_src = g.u(3) != 0;
      uint16_t len = 9, sc = 0;
      if (var_src && g.u(3) == 0) {
        bld_ira(&m.code, g.u(3) ? ira_i : ira[kVars - 1], 2);  // (now and then at a word's bound)
      } else if (var_src) {
        load(g, 2);
      } else {
        int k = int(g.u(kFixed));
        if (k == kFixed - 1) cnst_at(fx[k], 2);
        else bld_ira(&m.code, ira_fx[k], 2);
        len = uint16_t(kFixedLen[k]);
        sc = fixed_scale(g, k);
      }
      uint16_t tl = g.u(12) == 0 ? 2 : 4, ts = g.u(8) == 0 ? 1 : 0;
      bool sg = g.u(12) != 0;
      *refused |= sc > 31 || tl != 4 || ts != 0 || !sg;
      bld_set_pd_to_bin(&m.code, tl, sg, ts, var_src, len, sc);
      return;
    }
    bld_ira(&m.code, ira[g.u(kVars)], 1);
    static const uint16_t kLens[3] = {1, 2, 4};
    uint16_t len = 4;
    bool sg = true;
    uint64_t k = g.u(4);
    if (k == 0) {
      cnst_at(bcn, 2);
    } else if (k == 1) {
      bld_ira(&m.code, ira_bin, 2);
    } else {
      bld_ira(&m.code, ira_bin2, 2);
      len = kLens[g.u(3)];
      sg = g.u(2) == 0;
    }
    uint16_t sc = g.u(5) == 0 ? 32 : kScales[g.u(std::size(kScales))];
    *refused |= sc > 31;
    bld_set_bin_to_pd(&m.code, len, sg, sc, true, 9, 0);
  }
  // Stores into the fixed fields, at their scales mostly: SET from a
  // variable packed field or constant (MOVE_FIX_VAR) or from the binary
  // fields or constant at scales of 0-3, 31 and now and then 32
  // (SET_BIN_TO_PD), COMPUTE by +, - or * (now and then /: no plan) of a
  // variable or fixed packed field or constant; and SET of a variable
  // packed field from a fixed one or the fixed constant (MOVE_VAR_FIX).
  void fixed_store(Gen& g, bool* refused) {
    int k = int(g.u(kFixed - 1));
    uint8_t sc = fixed_scale(g, k);
    uint8_t len = uint8_t(kFixedLen[k]);
    uint64_t form = g.u(4);
    if (form == 3) {
      bld_ira(&m.code, ira[g.u(kVars)], 1);
      k = int(g.u(kFixed));
      sc = fixed_scale(g, k);
      if (k == kFixed - 1) cnst_at(fx[k], 2);
      else bld_ira(&m.code, ira_fx[k], 2);
      *refused |= sc > 31;
      bld_move_var_fix(&m.code, sc, uint8_t(kFixedLen[k]));
      return;
    }
    // (With extra, now and then a target over a variable or the loop
    // control block: the plan must not start; now and then one of 9 bytes
    // over a variable: no plan.)
    bool wide = form == 0 && g.u(24) == 0;
    uint32_t t = wide ? ira[g.u(kVars)] : extra && g.u(10) == 0 ? (g.u(2) ? ira_half : ira_in_lcb) : ira_fx[k];
    bld_ira(&m.code, t, 1);
    *refused |= sc > 31 || wide;
    if (form == 0) {
      load(g, 2);
      bld_move_fix_var(&m.code, wide ? 9 : len, sc);
    } else if (form == 1) {
      static const uint16_t kLens[3] = {1, 2, 4}, kScales[] = {0, 0, 1, 2, 3, 31};
      uint16_t bl = 4;
      bool sg = true;
      uint64_t b = g.u(3);
      if (b == 0) {
        cnst_at(bcn, 2);
      } else {
        bld_ira(&m.code, b == 1 ? ira_bin : ira_bin2, 2);
        if (b == 2) {
          bl = kLens[g.u(3)];
          sg = g.u(2) == 0;
        }
      }
      uint16_t bs = g.u(12) == 0 ? 32 : kScales[g.u(std::size(kScales))];
      *refused |= bs > 31;
      bld_set_bin_to_pd(&m.code, bl, sg, bs, false, len, sc);
    } else {
      IbNum t{8, len, sc, 0, true}, o = packed_operand(g, refused);
      char op = g.u(40) == 0 ? '/' : "+-*"[g.u(3)];
      *refused |= op == '/';
      uint8_t* eq = bld_compute(&m.code, t, o, op);
      ASSERT_NE(eq, nullptr);
      if (g.u(20) == 0 && sc < 31) {  // a store at a scale not the target's: no plan
        rec::view<IbMath>(eq).scale = uint8_t(sc + 1);
        *refused = true;
      }
    }
  }
  // IRA of an array into register reg and an occurrence of it by the loop
  // variable, IX, IXB or the binary field (which the body may store), its
  // maximum the array's, none (its data area's end) or past it.
  void occ_op(Gen& g, bool text, int reg) {
    bld_ira(&m.code, text ? ira_xt : ira_nw, reg);
    uint64_t k = g.u(4);
    static const uint16_t kMax[] = {kElems, 0, kElems + 1, kElems + 2};
    (k < 2 ? bld_occ_pd : bld_occ_bin)(&m.code, k == 0 ? ira_i : k == 1 ? ira_ix : k == 2 ? ira_ixb : ira_bin, reg,
                                       text ? 8 : 4, kMax[g.u(std::size(kMax))]);
  }
  // SET of a word element from a packed field or constant, of a variable
  // or fixed field from one; IF of a word element read as 1, 2 or 4 bytes
  // and the binary field or another element; SET of a text element from a
  // text, of a text from one; IF of a text element and a text, or of the
  // text after the array and another.
  bool has_occ = false;  // a case's body holds an occurrence
  void occ_stmt(Gen& g) {
    has_occ = true;
    switch (g.u(7)) {
      case 6: {
        static const uint16_t kLens[3] = {1, 2, 4};
        IbTstOp b[2];
        for (int r = 1; r <= 2; ++r) {
          if (r == 1 || g.u(2)) occ_op(g, false, r);
          else bld_ira(&m.code, ira_bin, r);
          b[r - 1] = IbTstOp{5, kLens[g.u(3)], uint8_t(g.u(3)), g.u(3) != 0, false, nullptr};
        }
        uint32_t msg = 0;
        ASSERT_EQ(bld_if_and_or(&m.code, b[0], b[1], uint8_t(1 + g.u(6)), 38, 10, &msg), 1) << msg;
        return;
      }
      case 0: case 5:
        occ_op(g, false, 1);
        load(g, 2);
        bld_set_pd_to_bin(&m.code, 4, true, 0, true, 9, 0);
        return;
      case 1: {
        static const uint16_t kScales[] = {0, 0, 1, 3, 31};
        if (g.u(3) == 0) {
          int k = int(g.u(kFixed - 1));
          bld_ira(&m.code, ira_fx[k], 1);
          occ_op(g, false, 2);
          bld_set_bin_to_pd(&m.code, 4, true, kScales[g.u(5)], false, uint16_t(kFixedLen[k]), uint16_t(fx_sc[k]));
          return;
        }
        bld_ira(&m.code, ira[g.u(kVars)], 1);
        occ_op(g, false, 2);
        bld_set_bin_to_pd(&m.code, 4, true, kScales[g.u(5)], true, 9, 0);
        return;
      }
      case 2: case 3: {
        uint16_t tl = 8, fl = 8;
        if (g.u(2)) {
          occ_op(g, true, 1);
          fl = text_op(g.u(2) ? kTexts + 1 : g.u(kTextOps), 2);  // (the date constant often: other bytes)
        } else {
          tl = text_op(g.u(kTexts), 1);
          occ_op(g, true, 2);
        }
        if (tl > fl) bld_move_char_pad(&m.code, fl, uint16_t(tl - fl));
        else bld_move_char(&m.code, tl);
        return;
      }
      case 4: {
        IbTstOp op[2];
        uint64_t e = g.u(3);  // the element's register; (2) none: the text after the array's end
        for (int r = 1; r <= 2; ++r) {
          uint16_t len = 8;
          if (uint64_t(r - 1) == e) occ_op(g, true, r);
          else len = text_op(e == 2 && r == 1 ? 0 : g.u(kTextOps), r);
          op[r - 1] = {1, len, 0, true, false, nullptr};
        }
        uint32_t msg = 0;
        ASSERT_EQ(bld_if_and_or(&m.code, op[0], op[1], uint8_t(1 + g.u(6)), 38, 10, &msg), 1) << msg;
        return;
      }
    }
  }
  // A body of n statements; *refused when it holds a form no plan takes.
  void body(Gen& g, int n, bool* refused) {
    static const uint32_t kConds[] = {0x1FF, 0x2FF, 0x17F, 0x1BF, 0x27F, 0x2BF, 0x3FF};
    for (int i = 0; i < n; ++i) {
      uint8_t* tfc = nullptr;
      if (g.u(3) == 0) tfc = bld_tfc(&m.code, ii2::no_code(), kConds[g.u(7)]);
      switch (nested && i == 0 && !in_inner && !in_routine && g.u(4) ? 8 : g.u(21)) {
        case 19: case 20: occ_stmt(g); break;
        case 0: case 1: case 2: case 3: case 4: calc(g, refused); break;
        case 16: case 17: case 18: fixed_store(g, refused); break;
        case 12: case 13: compute(g, refused); break;
        case 14: case 15: set_bin(g, refused); break;
        case 5: case 6: case 7: test_if(g, g.u(3) ? 10 : 8); break;
        case 8:
          if ((extra || nested) && !in_inner && !in_routine && g.u(nested ? 1 : 3) == 0) {
            inner_loop(g, refused);
          } else if (g.u(2) == 0) {
            uint8_t* go = bld_gosub(&m.code, ii2::no_code());
            if (in_routine) *refused = true;
            if (!in_routine && !gosubs.empty() && g.u(6) == 0) {
              again.push_back({go, gosubs.size() - 1});
              *refused = true;
            } else {
              gosubs.push_back(go);
            }
          } else if (g.u(2) == 0) {
            bld_ira(&m.code, ira[g.u(kVars)], 3);  // (register 3, which a binary COMPUTE sets)
          } else {
            bld_nop(&m.code);
          }
          break;
        case 9: {  // a move
          if (g.u(3) == 0) {
            text_move(g);
            break;
          }
          bld_calc_reset(&m.code);
          bld_ira(&m.code, ira[g.u(kVars)], 1);
          bld_calc_load(&m.code, 12);
          load(g, 1);
          bld_calc_load(&m.code, 12);
          bld_calc_eval(&m.code, '=');
          break;
        }
        case 10:
          if (g.u(4) == 0) {  // a test of the binary field read as 1, 2 or 4 bytes, signed or not, at scales of 0-3
            bld_ira(&m.code, ira_bin, 1);
            bld_ira(&m.code, ira_bin, 2);
            static const uint16_t kLens[3] = {1, 2, 4};
            IbTstOp b[2];
            for (IbTstOp& o : b) {
              o = IbTstOp{5, kLens[g.u(3)], uint8_t(g.u(4)), g.u(2) == 0, false, nullptr};
              if (g.u(40) == 0) o.scale = 32;  // past 31: no plan
            }
            *refused |= b[0].scale > 31 || b[1].scale > 31;
            uint32_t msg = 0;
            ASSERT_EQ(bld_if_and_or(&m.code, b[0], b[1], uint8_t(1 + g.u(6)), 38, 10, &msg), 1);
          } else {
            calc(g, refused);
          }
          break;
        default: {  // a forward GOTO over a flag: no plan
          if (g.u(4) == 0) {
            uint8_t* go = bld_goto(&m.code, ii2::no_code());
            flag(7);
            rec::view<IbLabel>(go).label = here();
            *refused = true;
          } else {
            test_if(g, 10);
          }
        }
      }
      if (tfc) rec::view<IbTfc>(tfc).to = here();
    }
  }
};

// A negative zero (sign nibble negative, digits zero) with its scale.
void put_neg_zero(uint8_t* p, int scale) {
  pacdec::store8(p, com.pd_neg);
  p[8] = uint8_t(scale);
}

void IiLoop::differential(Gen& g, long n) {
  long bad = 0, ended = 0, refused_loops = 0, negative = 0, occ_errs = 0;
  uint64_t occ_iterations = 0;
  uint64_t before = ii_loop_plan_iterations(), firsts = ii_loop_plan_firsts(), inner = ii_loop_plan_inner();
  for (long c = 0; c < n && bad < 10; ++c) {
    // The values: near the bounds of 15 digits as often as small; in a
    // third of the loops with decimals, now and then many (13-16 or any).
    // Now and then a value a CALC result past 15 digits left: its 15
    // highest digits at a negative scale.
    bool scaled = g.u(3) == 0;
    auto neg_scale = [&] { return -int(1 + g.u(g.u(4) ? 3 : 17)); };
    auto many = [&] { return int(g.u(2) ? 13 + g.u(4) : g.u(32)); };
    for (int k = 0; k < kVars; ++k)
      put(var[k], g.value(), g.u(16) == 0 ? neg_scale() : scaled && g.u(2) ? (g.u(8) ? int(g.u(4)) : many()) : 0);
    // Now and then the last variable at a word's bound or one past, or a
    // half below or at it (x.4, x.5), for SET into the binary field.
    if (g.u(4) == 0) {
      static const int64_t kEdges[] = {2147483647, 2147483648, -2147483647, -2147483648, 2147483646};
      int64_t e = kEdges[g.u(std::size(kEdges))];
      if (g.u(2)) put(var[kVars - 1], e, 0);
      else put(var[kVars - 1], e * 10 + (e < 0 ? -1 : 1) * int64_t(4 + g.u(2)), 1);
    }
    // Now and then a variable at a fixed field's digit limit or one past at
    // its scale, or a half below or at it one place down (x.4, x.5: the
    // rounding takes it to the limit), a small x.5 or x.4 one place down, or
    // a value 31 places down (a shift of 31).
    if (g.u(3) == 0) {
      int k = int(g.u(kFixed));
      int64_t lim = fixed_limit(k), sg = g.u(2) ? 1 : -1;
      uint8_t* v = var[g.u(kVars)];
      switch (g.u(4)) {
        case 0: put(v, sg * (lim - 1 + int64_t(g.u(2))), fx_sc[k]); break;
        case 1: put(v, sg * ((lim - 1) * 10 + 4 + int64_t(g.u(2))), std::min(fx_sc[k] + 1, 31)); break;
        case 2: put(v, sg * (int64_t(g.u(10)) * 10 + 4 + int64_t(g.u(2))), std::min(fx_sc[k] + 1, 31)); break;
        default: put(v, sg * int64_t(g.u(2) ? 5 : 4) * 100000000000000, 31); break;
      }
    }
    for (int k = 0; k < kCnsts; ++k)
      put(cn[k], g.u(2) ? int64_t(g.u(100)) - 20 : g.value(),
          g.u(64) == 0 ? neg_scale() : scaled && g.u(3) == 0 ? int(g.u(g.u(8) ? 3 : 32)) : 0);
    // Divisors of 2s and 5s (2^49: too many for a power of ten of 15
    // digits), others, at scales 0-2 and now and then 15 and 16.
    static const int64_t kDivisors[] = {2, 4, 5, 8, 16, 20, 25, 40, 125, 1024, 1, 10, 3, 7, 562949953421312};
    for (int k = 0; k < kDivs; ++k)
      put(dv[k], kDivisors[g.u(std::size(kDivisors))] * (g.u(3) == 0 ? -1 : 1),
          g.u(10) == 0 ? int(15 + g.u(2)) : int(g.u(3)));
    int64_t from = g.u(4) == 0 ? 999999999999000LL + int64_t(g.u(900)) : int64_t(g.u(100)) - 50;
    int64_t steps[] = {1, 1, 1, 2, 3, -1, -2, 7};
    int64_t step = steps[g.u(8)];
    // Now and then I passes a word's bound (SET AI = I) in the loop.
    if (g.u(6) == 0) from = (step > 0 ? 1 : -1) * (2147483647 - int64_t(g.u(20)));
    if (g.u(5) == 0) from = int64_t(g.u(3));  // (I an array's index now and then)
    int64_t count = int64_t(g.u(4) == 0 ? g.u(3000) : g.u(60));
    int64_t to = std::min<int64_t>(from + step * count, 999999999999999LL);  // near the bound: the step leaves 15 digits
    bounds(from, to, step);
    if (extra) {
      // Negative zeros where the loop reads its bounds, in a variable and a
      // constant; a variable whose sign nibble is the other positive one.
      // (Only where the loop stays short.)
      if (g.u(6) == 0 && from > -100 && from < 100) put_neg_zero(vto, 0);
      if (g.u(6) == 0 && to > -5000 && to < 5000) put_neg_zero(vfrom, 0);
      if (g.u(8) == 0) put_neg_zero(var[g.u(kVars)], 0);
      if (g.u(8) == 0) put_neg_zero(cn[g.u(kCnsts)], 0);
      if (g.u(10) == 0) var[g.u(kVars)][7] |= 0x0F;
      int64_t c = g.u(2) ? 2 : 5;
      put(ci, step < 0 ? -c : c, c == 5 ? 1 : 0);
    }
    if (extra || nested) {
      put(vjfrom, 1, 0);
      put(vjto, int64_t(g.u(nested && g.u(4) ? 4 : 12)), 0);
      put(vjstep, g.u(4) ? 1 : 3, 0);
    }
    // Now and then inner bounds the outer loop's plan leaves to the
    // instructions (a decimal: BEG LOOP's; a step past 15 digits: END
    // LOOP's), a negative step, FROM past TO, a negative zero.
    if (nested && g.u(3) == 0) {
      switch (g.u(6)) {
        case 0: put(g.u(2) ? vjto : vjfrom, int64_t(g.u(40)), 1); break;
        case 1:
          put(vjfrom, 999999999999996 + int64_t(g.u(3)), 0);
          put(vjto, 999999999999999, 0);
          put(vjstep, 1 + int64_t(g.u(2)), 0);
          break;
        case 2:
          put(vjfrom, -999999999999996 - int64_t(g.u(3)), 0);
          put(vjto, -999999999999999, 0);
          put(vjstep, -1 - int64_t(g.u(2)), 0);
          break;
        case 3:
          put(vjfrom, 3, 0);
          put(vjto, int64_t(g.u(6)) - 2, 0);
          put(vjstep, -1 - int64_t(g.u(2)), 0);
          break;
        case 4: put(vjfrom, 5 + int64_t(g.u(3)), 0); break;
        default: put_neg_zero(g.u(2) ? vjto : vjfrom, 0); break;
      }
    }
    // (Now and then at a word's bound or one inside it.)
    static const uint32_t kWords[] = {0x7FFFFFFF, 0x80000000, 0x7FFFFFFE, 0x80000001};
    rec::view<rec::U32>(bin) = g.u(2) ? uint32_t(g.u(3)) : g.u(2) ? uint32_t(g.value()) : kWords[g.u(4)];
    // COMPUTE's binary operands: small, or at a word's bound.
    rec::view<rec::U32>(bin2) = g.u(2) ? uint32_t(int32_t(g.u(7)) - 3) : kWords[g.u(4)];
    if (g.u(6) == 0) rec::view<rec::U32>(bin2) = uint32_t(fixed_limit(0) - int64_t(g.u(2)));  // (3 bytes: at the limit, one past)
    static const uint32_t kSteps[] = {1, 0xFFFFFFFF, 1, 0xFFFFFFFF, 2, 0x7FFFFFFF, 0x80000000, 0x40000000};
    rec::view<rec::U32>(bcn) = kSteps[g.u(std::size(kSteps))];
    // Dates at the bounds of the calendar and one past, null dates, a
    // 29 February that is none and a 13th month.
    static const int64_t kYmd[] = {10101, 99991231, 20260228, 20240229, 20260101, 20250229, 99991232, 0, -1, 20261301};
    static const uint32_t kDays[] = {1, 2, kDayMax, kDayMax + 1, 0, 0xFFFFFFFF, 739617, 739616};  // 739617: 2026-01-01
    for (uint8_t* f : {dt[0], dt_cn}) {
      int64_t d = kYmd[g.u(std::size(kYmd))];
      char t[9];
      std::snprintf(t, sizeof t, "%08lld", static_cast<long long>(d));
      std::memcpy(f, d < 0 ? "        " : t, 8);
    }
    rec::view<rec::U32>(dt[1]) = kDays[g.u(std::size(kDays))];
    put_fixed(dt[2], 5, kYmd[g.u(std::size(kYmd))]);
    // Texts the same or a letter apart; the longer one's rest blank, a
    // letter or a character below the blank.
    for (uint8_t* t : {tx[0], tx[1], tx[2], tx_cn}) {
      std::memcpy(t, "ABCDEF", 6);
      if (g.u(3) == 0) t[g.u(6)] = uint8_t('A' + g.u(8));
    }
    static const char kRest[][4] = {"   ", "   ", "G  ", "  \x1f"};
    for (uint8_t* t : {tx[1], tx[2]}) {
      std::memset(t + 6, ' ', 14);
      std::memcpy(t + 6 + g.u(12), kRest[g.u(4)], 3);
    }
    // The fixed fields: small values mostly, now and then at their digit
    // limit; now and then a negative zero or the other positive sign nibble.
    // Their scales: 0-3 mostly, now and then 31.
    for (int k = 0; k < kFixed; ++k) {
      fx_sc[k] = g.u(8) == 0 ? 31 : int(g.u(4));
      int64_t lim = fixed_limit(k);
      put_fixed(fx[k], kFixedLen[k],
                g.u(6) == 0 ? (g.u(2) ? 1 : -1) * (lim - 1) : g.u(2) ? int64_t(g.u(20)) - 5 : g.value());
      if (g.u(5) == 0) pacdec::store_be(fx[k], com.pd_neg, kFixedLen[k]);
      if (g.u(12) == 0) fx[k][kFixedLen[k] - 1] |= 0x0F;
    }
    // The elements: small words or at a word's bound, texts as the others;
    // the indexes 0, 1, the last, one past it or two, negative, now and
    // then at a scale (1.5: 1; 0.5 and -0.5: 0).
    for (int e = 0; e < kElems; ++e) {
      rec::view<rec::U32>(nw + 4 * e) = g.u(2) ? uint32_t(int32_t(g.u(9)) - 4) : kWords[g.u(4)];
      std::memcpy(xt + 8 * e, g.u(2) ? "ABCDEF  " : "ABCDEFGH", 8);
      if (g.u(3) == 0) xt[8 * e + g.u(8)] = uint8_t('A' + g.u(8));
    }
    static const int64_t kIx[] = {0, 1, kElems, kElems + 1, kElems + 1, kElems + 2, -1, 3};
    int64_t at = kIx[g.u(std::size(kIx))];
    if (g.u(5) == 0) put(ix, at * 10 + (g.u(2) ? 5 : -5), 1);
    else put(ix, at, 0);
    rec::view<rec::U32>(ixb) = g.u(10) == 0 ? 0x80000000u : uint32_t(kIx[g.u(std::size(kIx))]);
    restart();
    bool trapped = g.u(2) == 0;
    uint8_t* ov = trapped ? bld_overflow(&m.code, ii2::no_code()) : nullptr;
    uint8_t* loop = beg_i();
    bool refused = false;
    gosubs.clear();
    again.clear();
    has_occ = false;
    body(g, 1 + int(g.u(6)), &refused);
    close_loop(loop, ov);
    routines(g, &refused);
    refused_loops += refused;
    // Both orders: the first run relocates the code and plans the CALC
    // statements, so the second finds everything in place.
    bool plans_first = g.u(2) == 0;
    int rc = 0;
    uint64_t it = ii_loop_plan_iterations();
    std::string diff = both_ways(plans_first, &rc);
    if (has_occ) {
      occ_iterations += ii_loop_plan_iterations() - it;
      occ_errs += rc != 1;
    }
    for (int k = 0; k < kVars; ++k) negative += int8_t(var[k][8]) < 0;
    ended += rc == 1;
    if (!diff.empty()) {
      ++bad;
      ADD_FAILURE() << "case " << c << " (plans " << (plans_first ? "first" : "second") << "): " << diff;
    }
  }
  uint64_t iterations = ii_loop_plan_iterations() - before;
  firsts = ii_loop_plan_firsts() - firsts;
  inner = ii_loop_plan_inner() - inner;
  std::printf("loop plans: %ld loops (%ld with a form no plan takes), %ld ended normally, %llu iterations by a plan "
              "(%llu with occurrences, %ld of those loops ending otherwise), %ld fields left at a negative scale, "
              "%llu entries at BEG LOOP, %llu inner loops run by the outer loop's plan\n",
              n, refused_loops, ended, static_cast<unsigned long long>(iterations),
              static_cast<unsigned long long>(occ_iterations), occ_errs, negative, static_cast<unsigned long long>(firsts),
              static_cast<unsigned long long>(inner));
  if (nested) {
    EXPECT_GT(firsts, uint64_t(n) * 3);
    EXPECT_GT(inner, uint64_t(n) * 3);
  }
  EXPECT_GT(iterations, uint64_t(n) * 5);
  EXPECT_GT(occ_iterations, uint64_t(n) / 2);
  EXPECT_GT(negative, n / 10);
}

TEST_F(IiLoop, PlansLeaveWhatTheInstructionsLeave) {
  Gen g{std::mt19937_64(seed() + 19)};
  differential(g, cases(3000));
}

// The same with aliased and overlapping fields, a field over the loop
// control block, negative zeros and other sign nibbles, and statements
// that move the loop variable itself.
TEST_F(IiLoop, PlansLeaveWhatTheInstructionsLeaveWithAliasesAndOddBytes) {
  Gen g{std::mt19937_64(seed() + 23)};
  extra = true;
  differential(g, cases(3000));
}

// The same with an inner loop in most bodies, of 0-3 iterations mostly,
// entered at BEG LOOP again and again once its plan is built.
TEST_F(IiLoop, PlansLeaveWhatTheInstructionsLeaveInInnerLoops) {
  Gen g{std::mt19937_64(seed() + 29)};
  nested = true;
  differential(g, cases(3000));
}

// While the trace is on, no plan runs; the loop still gives its result.
// The sums, products and quotients a plan settles at once, at the bound of
// 15 digits (a store past it leaves the plan in the middle of the loop, after
// a yield: the instructions keep its 15 highest digits), both signs,
// scales 0, 2, 15 and 31 and one past 15.
TEST_F(IiLoop, FastFormsAtTheBoundsLeaveWhatTheInstructionsLeave) {
  constexpr int64_t kFar = 999999999500000;  // 500,000 below 15 digits
  // V = V + X * I, V - X * I, X * I - V, V + X / 4, V - X / 4, X / 4 - V,
  // V + X, V - X and X * I: a step of X that takes V past 15 digits near
  // the 600th iteration. Last, X / 4 - V with a quotient of 16 digits and
  // V swinging between two values of 15.
  const char* forms[] = {"VXI*+", "VXI*-", "XI*V-", "VX4/+", "VX4/-", "X4/V-", "VX+", "VX-", "XI*", "X4/V-"};  // (postfix)
  const int64_t steps[] = {3, 3, 3, 3333, 3333, 3333, 833, 833, 1666666666667, 50000000000001};
  long bad = 0, cases = 0, past = 0;
  uint64_t before = ii_loop_plan_iterations();
  for (size_t f = 0; f < std::size(forms); ++f)
    for (int sx : {0, 2, 13, 14, 15, 16, 29, 31})
      for (int signs = 0; signs < 8 && bad < 5; ++signs) {
        bool div = std::strchr(forms[f], '/') != nullptr;
        int sv = std::min(sx + (div ? 2 : 0), 31);
        int64_t v0 = f + 1 < std::size(forms) ? kFar : 600000000000000;
        put(var[0], signs & 1 ? -v0 : v0, sv);
        put(var[1], signs & 2 ? -steps[f] : steps[f], sx);
        form_loop(forms[f], 2000, signs & 4);
        int rc = 0;
        std::string diff = both_ways(signs & 1, &rc);
        ++cases;
        past += int8_t(var[0][8]) < sv;  // (a store past 15 digits: its 15 highest digits)
        if (!diff.empty()) {
          ++bad;
          ADD_FAILURE() << forms[f] << " at scale " << sx << ", signs " << signs << ": " << diff;
        }
      }
  EXPECT_GT(ii_loop_plan_iterations() - before, uint64_t(cases) * 300);
  EXPECT_GT(past, cases / 4);
}

// Each fast form that stores, an iteration well inside the plan (I = 40, 41
// or 27) landing exactly on 15 digits' largest value and on one past it,
// both signs, with and without the OVERFLOW label; and a product with its
// sum at scale 30 under the older multiply, which drops digits of operands
// at scale 15.
TEST_F(IiLoop, FastFormsAtExactlyFifteenDigitsAndOnePast) {
  struct Form {
    const char* form;
    int64_t x;
    int64_t (*v0)(int64_t t, int64_t x);  // V's start for V = t at I = 40 (41: X4/V-; XI*: below)
  };
  const Form forms[] = {
      {"VX+", 7, [](int64_t t, int64_t x) { return t - 40 * x; }},
      {"VX-", -7, [](int64_t t, int64_t x) { return t + 40 * x; }},
      {"VXI*+", 7, [](int64_t t, int64_t x) { return t - 820 * x; }},
      {"VXI*-", -7, [](int64_t t, int64_t x) { return t + 820 * x; }},
      {"XI*V-", 7, [](int64_t t, int64_t x) { return t - 20 * x; }},
      {"XI*", 0, [](int64_t, int64_t) { return int64_t(0); }},
      {"VX4/+", 4, [](int64_t t, int64_t x) { return t - 40 * 25 * x; }},  // (X / 4 is 25 X two places down)
      {"VX4/-", -4, [](int64_t t, int64_t x) { return t + 40 * 25 * x; }},
      {"X4/V-", 4, [](int64_t t, int64_t x) { return 25 * x - t; }},
  };
  constexpr int64_t kMax = 999999999999999;
  long bad = 0, cases = 0;
  uint64_t before = ii_loop_plan_iterations();
  for (const Form& f : forms)
    for (int64_t t : {kMax, kMax + 1})
      for (int sx : {0, 2})
        for (int signs = 0; signs < 4 && bad < 5; ++signs) {
          const int sg = signs & 1 ? -1 : 1;
          const bool div = std::strchr(f.form, '/') != nullptr;
          // X * I lands on t at I = 27 (t = 27 * 37037037037037) or I = 40.
          const int64_t x = f.x ? f.x : t % 27 == 0 ? t / 27 : t / 40;
          put(var[0], sg * f.v0(t, x), div ? sx + 2 : sx);
          put(var[1], sg * x, sx);
          form_loop(f.form, 60, signs & 2);
          int rc = 0;
          std::string diff = both_ways(signs & 1, &rc);
          ++cases;
          if (!diff.empty()) {
            ++bad;
            ADD_FAILURE() << f.form << " to " << sg * t << " at scale " << sx << ", signs " << signs << ": " << diff;
          }
        }
  EXPECT_GT(ii_loop_plan_iterations() - before, uint64_t(cases) * 15);
  // The older multiply, also for a plan built and run under the newer one.
  for (int sg : {1, -1}) {
    form_loop("VXX*+", 60, false);
    int rc = 0;
    for (bool older : {false, true}) {
      ii_math_set_switches(older, false);
      put(var[0], 0, 30);
      put(var[1], sg, 15);
      EXPECT_EQ(both_ways(sg < 0, &rc), "") << "the older multiply " << older << ", sign " << sg;
    }
  }
  ii_math_set_switches(false, false);
}

// Loops at bounds the random cases seldom reach, each with and without its
// plan (both orders, with and without the OVERFLOW label): FROM and TO at
// 15 digits of either sign, steps of one digit, of 10, of 14 and 15 digits,
// a step that carries, a word's bound; counters (T = T + K) through a
// carry, from below 0 through 0, up to 15 digits and one past, at scales 2
// and 31; fixed packed fields of 1 and 8 bytes stored by a move, a COMPUTE
// or a binary's value up to their largest value and one past (a binary
// COMPUTE to its word's bound and one past).
TEST_F(IiLoop, LoopsAtTheBoundsOfTheirValuesLeaveWhatTheInstructionsLeave) {
  uint32_t ira_f[2] = {};
  uint8_t* f[2] = {field(1, &ira_f[0]), field(8, &ira_f[1])};
  long bad = 0;
  uint64_t before = ii_loop_plan_iterations();
  auto check = [&](const std::string& what, int64_t from, int64_t to, int64_t step, const std::function<void()>& init,
                   const std::function<void()>& body) {
    for (bool ov : {false, true}) {
      restart();
      uint8_t* ov_at = ov ? bld_overflow(&m.code, ii2::no_code()) : nullptr;
      uint8_t* loop = beg_i();
      body();
      close_loop(loop, ov_at);
      for (bool plans_first : {false, true}) {
        bounds(from, to, step);
        init();
        int rc;
        std::string d = both_ways(plans_first, &rc);
        if (!d.empty() && ++bad <= 10) ADD_FAILURE() << what << (ov ? ", trapped" : "") << ": " << d;
      }
    }
  };
  auto load = [&](uint32_t fld) {
    bld_ira(&m.code, fld, 1);
    bld_calc_load(&m.code, 12);
  };
  auto counter = [&] {  // CALC T = T + K (T the second variable, K the first constant)
    bld_calc_reset(&m.code);
    load(ira[1]);
    load(ira[1]);
    cnst(0, 1);
    bld_calc_load(&m.code, 12);
    bld_calc_eval(&m.code, '+');
    bld_calc_eval(&m.code, '=');
  };
  const IbNum word{5, 4, 0, 9, true};
  constexpr int64_t kMax = 999999999999999;
  // CALC A = I; IF I GT C (T) T = T + 1; T = T + 1.
  struct Bounds {
    int64_t from, to, step;
  };
  const Bounds bs[] = {{kMax - 9, kMax, 1},        {kMax - 20, kMax, 3},       {kMax - 90, kMax, 9},
                       {kMax - 90, kMax, 10},      {-kMax + 9, -kMax, -1},     {-kMax + 20, -kMax, -3},
                       {-kMax + 90, -kMax, -9},    {kMax, kMax - 30, -1},      {-kMax, -kMax + 30, 1},
                       {0, kMax, 33333333333333},  {0, kMax, 333333333333333}, {-kMax, kMax, 99999999999999},
                       {kMax, -kMax, -kMax},       {91, 400, 9},               {-99, 99, 9},
                       {2147483630, 2147483660, 1}};
  for (const Bounds& b : bs)
    for (int64_t t0 : {int64_t(-20), kMax - 25})
      check("FROM " + std::to_string(b.from) + " TO " + std::to_string(b.to) + " STEP " + std::to_string(b.step) +
                ", T " + std::to_string(t0),
            b.from, b.to, b.step,
            [&] {
              put(var[1], t0, 0);
              put(var[2], b.from + 3 * b.step, 0);
              put(cn[0], 1, 0);
            },
            [&] {
              bld_calc_reset(&m.code);
              load(ira[0]);
              load(ira_i);
              bld_calc_eval(&m.code, '=');
              bld_ira(&m.code, ira_i, 1);
              bld_ira(&m.code, ira[2], 2);
              const IbTstOp op{12, 9, 0, true, false, nullptr};
              uint32_t msg = 0;
              ASSERT_EQ(bld_if_and_or(&m.code, op, op, 3, 38, 10, &msg), 1) << msg;
              uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x1FF);
              counter();
              rec::view<IbTfc>(tfc).to = here();
              counter();
            });
  // T = T + K over 40 iterations.
  struct Count {
    int64_t t;
    int ts;
    int64_t k;
    int ks;
  };
  const Count cs[] = {{-25, 0, 1, 0},         {-25, 0, 9, 0},         {91, 0, 9, 0},           {99999, 0, 1, 0},
                      {kMax - 30, 0, 1, 0},   {kMax - 100, 0, 9, 0},  {-kMax, 0, 9, 0},        {-91, 2, 9, 2},
                      {91, 1, 9, 2},          {5, 31, 1, 31},         {kMax - 40, 31, 9, 31}};
  for (const Count& c : cs)
    check("T " + std::to_string(c.t) + "e-" + std::to_string(c.ts) + " + " + std::to_string(c.k) + "e-" +
              std::to_string(c.ks),
          1, 40, 1,
          [&] {
            put(var[1], c.t, c.ts);
            put(cn[0], c.k, c.ks);
          },
          counter);
  // The fixed fields of 1 and 8 bytes at scales 0 and 31: from the
  // negation of the largest value of one digit up or down through it, from
  // 20 below the largest of 15 up or down past it; a word 20 below its
  // bounds (SET F = B at scale 0 or, for 8 bytes, 5: a bound is 15 digits).
  for (int x = 0; x < 2; ++x)
    for (int sc : {0, 31})
      for (int64_t k : {int64_t(1), int64_t(-1)})
        for (int form = 0; form < (sc ? 2 : 3); ++form) {
          const int len = x ? 8 : 1;
          const int64_t t0 = x ? k * (kMax - 19) : -k * 9;
          const int fsc = form == 2 && x ? 5 : sc;
          const int64_t b0 = x ? k * (INT32_MAX - 20) : -k * 9;
          check("fixed of " + std::to_string(len) + " at " + std::to_string(fsc) + ", K " + std::to_string(k) +
                    ", form " + std::to_string(form),
                1, 40, 1,
                [&] {
                  put(var[1], t0, sc);
                  put(cn[0], k, sc);
                  put(var[3], k, sc);
                  put_fixed(f[x], len, t0);
                  rec::view<rec::U32>(bin) = uint32_t(int32_t(b0));
                  rec::view<rec::U32>(bcn) = uint32_t(int32_t(k));
                },
                [&] {
                  if (form == 0) {  // SET F = T; T = T + K
                    bld_ira(&m.code, ira_f[x], 1);
                    bld_ira(&m.code, ira[1], 2);
                    bld_move_fix_var(&m.code, uint8_t(len), uint8_t(fsc));
                    counter();
                  } else if (form == 1) {  // COMPUTE F = F + V
                    bld_ira(&m.code, ira_f[x], 1);
                    bld_ira(&m.code, ira[3], 2);
                    const IbNum t{8, uint8_t(len), uint8_t(fsc), 0, true}, v{12, 9, 0, 15, true};
                    ASSERT_NE(bld_compute(&m.code, t, v, '+'), nullptr);
                  } else {  // COMPUTE B = B + K; SET F = B
                    bld_ira(&m.code, ira_bin, 1);
                    cnst_at(bcn, 2);
                    ASSERT_NE(bld_compute(&m.code, word, word, '+'), nullptr);
                    bld_ira(&m.code, ira_f[x], 1);
                    bld_ira(&m.code, ira_bin, 2);
                    bld_set_bin_to_pd(&m.code, 4, true, 0, false, uint16_t(len), uint16_t(fsc));
                  }
                });
        }
  EXPECT_GT(ii_loop_plan_iterations() - before, 4000u);
}

// An inner loop's plan, once built at its first back edge, runs it from
// its first iteration at every later BEG LOOP, when the outer loop's body
// has no plan (a compare of binary fields, one at a scale past 31, before
// the inner loop): each iteration of the second run is the plan's. A loop
// of one iteration has no back edge and no plan; one of two is mostly left
// to the instructions (an entry costs more), one of three is the plan's.
// When the outer loop's body has a plan, that plan runs the inner loop
// itself, every outer iteration of the second run but the first at most.
// Either way the same results.
TEST_F(IiLoop, AnInnerLoopsPlanRunsFromItsFirstIteration) {
  constexpr int64_t kOuter = 300;
  IbTstOp bin4{5, 4, 0, true, false, nullptr}, bin_odd = bin4;
  bin_odd.scale = 32;
  for (bool outer : {false, true})
    for (int64_t inner : {1, 2, 3, 6, 40}) {
      put(var[0], 0, 0);
      bounds(1, kOuter, 1);
      put(vjfrom, 1, 0);
      put(vjto, inner, 0);
      put(vjstep, 1, 0);
      restart();
      uint8_t* loop = beg_i();
      if (!outer) {
        bld_ira(&m.code, ira_bin, 1);
        bld_ira(&m.code, ira_bin, 2);
        uint32_t msg = 0;
        ASSERT_EQ(bld_if_and_or(&m.code, bin4, bin_odd, 1, 38, 10, &msg), 1) << msg;
      }
      uint8_t* jl = beg(false, ira_j, ira_jfrom, ira_jto, ira_jstep, ira_lcb2);
      bld_calc_reset(&m.code);
      calc_add(ira[0], ira_j);
      end_loop(false, ira_j, ira_lcb2, jl);
      end_loop(false, ira_i, ira_lcb, loop);
      end();
      int rc;
      ASSERT_EQ(both_ways(true, &rc), "") << inner;
      put(var[0], 0, 0);
      uint64_t before = ii_loop_plan_iterations(), firsts = ii_loop_plan_firsts(), begun = ii_loop_plan_inner();
      ASSERT_EQ(both_ways(true, &rc), "") << inner;
      EXPECT_EQ(rc, 1);
      EXPECT_EQ(value_of(var[0]), kOuter * inner * (inner + 1) / 2);
      if (outer) {
        EXPECT_GE(ii_loop_plan_inner() - begun, uint64_t(kOuter - 1)) << inner;
        EXPECT_LE(ii_loop_plan_inner() - begun, uint64_t(kOuter)) << inner;
        continue;
      }
      EXPECT_EQ(ii_loop_plan_inner() - begun, 0u) << inner;
      if (inner == 2) {
        EXPECT_LT(ii_loop_plan_firsts() - firsts, uint64_t(kOuter / 10)) << inner;
        continue;
      }
      const int64_t planned = inner > 1 ? kOuter : 0;
      EXPECT_EQ(ii_loop_plan_iterations() - before, uint64_t(planned * inner)) << inner;
      EXPECT_EQ(ii_loop_plan_firsts() - firsts, uint64_t(planned)) << inner;
    }
}

// The first iteration of an entry at BEG LOOP finds the registers as the
// instructions before the loop left them, not as the body's end leaves
// them: a plan that leaves it (before a move past the fixed field's digits,
// 300540: the OVERFLOW label) leaves those no statement set yet as they
// are; the probe at the label sees them. The move fails on the 55th: the
// first iteration of the last outer iteration, entered at BEG LOOP (the
// plan built at an earlier back edge once its statements ran).
TEST_F(IiLoop, AnExitInTheFirstIterationLeavesTheRegistersAsTheyAre) {
  constexpr int64_t kOuter = 10;
  put(var[0], fixed_limit(0) - 108, 0);
  put(var[1], 2, 0);
  bounds(1, kOuter, 1);
  put(vjfrom, 1, 0);
  put(vjto, 6, 0);
  put(vjstep, 1, 0);
  restart();
  uint8_t* ov = bld_overflow(&m.code, ii2::no_code());
  uint8_t* loop = beg_i();
  bld_calc_reset(&m.code);
  uint8_t* jl = beg(false, ira_j, ira_jfrom, ira_jto, ira_jstep, ira_lcb2);
  bld_ira(&m.code, ira_fx[0], 1);  // SET F = V0
  bld_ira(&m.code, ira[0], 2);
  bld_move_fix_var(&m.code, uint8_t(kFixedLen[0]), 0);
  bld_calc_reset(&m.code);  // CALC V0 = V0 + V1
  calc_add(ira[0], ira[1]);
  bld_ira(&m.code, ira[0], 1);  // IF V0 > V1
  bld_ira(&m.code, ira[1], 2);
  IbTstOp op{12, 9, 0, true, false, nullptr};
  uint32_t msg = 0;
  ASSERT_EQ(bld_if_and_or(&m.code, op, op, 1, 38, 10, &msg), 1) << msg;
  end_loop(false, ira_j, ira_lcb2, jl);
  close_loop(loop, ov);
  uint64_t firsts = ii_loop_plan_firsts();
  int rc;
  EXPECT_EQ(both_ways(true, &rc), "");
  EXPECT_EQ(ii2::flags().size(), 1u);  // (the OVERFLOW label's)
  EXPECT_GT(ii_loop_plan_firsts() - firsts, 2u);
}

// BEG LOOP I 1 TO 50; SET F = V; CALC V = V + W; L: END LOOP, and at the
// OVERFLOW label COMPUTE B = B + K; GOTO L. From I = 11 on, SET F = V is
// past F's digits (300540) each time, and END LOOP is reached from the
// label, the depth of the calculation stack 2 where the body's end leaves
// 1: the plan does not start there, and each SET finds the registers as
// the instructions left them.
TEST_F(IiLoop, AGotoIntoTheBodyKeepsThePlanFromStarting) {
  put(var[1], 0, 0);
  put(var[2], 10000, 0);
  put(var[4], 0, 0);
  put(var[5], 1, 0);
  put_fixed(fx[0], kFixedLen[0], 0);
  bounds(1, 50, 1);
  restart();
  uint8_t* ov = bld_overflow(&m.code, ii2::no_code());
  uint8_t* loop = beg_i();
  bld_ira(&m.code, ira_fx[0], 1);
  bld_ira(&m.code, ira[1], 2);
  bld_move_fix_var(&m.code, uint8_t(kFixedLen[0]), 0);
  bld_calc_reset(&m.code);
  calc_add(ira[1], ira[2]);
  const CodeRef at_end = here();
  end_loop(false, ira_i, ira_lcb, loop);
  probe();
  end();
  rec::view<IbLabel>(ov).label = here();
  probe();
  flag(1);
  bld_ira(&m.code, ira[4], 1);
  bld_ira(&m.code, ira[5], 2);
  const IbNum pd{12, 9, 0, 15, true};
  ASSERT_NE(bld_compute(&m.code, pd, pd, '+'), nullptr);
  rec::view<IbLabel>(bld_goto(&m.code, ii2::no_code())).label = at_end;
  uint64_t before = ii_loop_plan_iterations();
  int rc;
  EXPECT_EQ(both_ways(true, &rc), "");
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(ii2::flags().size(), 40u);
  EXPECT_GT(ii_loop_plan_iterations() - before, 5u);
}

// IF I GT C (C 10) (T) CALC I = I + H (H 0.5): from I = 11 on, END LOOP
// finds the variable with a decimal and takes its 16-byte path, the plan
// leaving before it. IF V GT C (C 1) (T) CALC A = A + D; CALC V = V * H:
// V goes from 2^20 down past its integers, its scale one more each time,
// and C is raised to V's scale at each compare, not to the one of the
// compare before. (The code relocated by the instructions first: the
// plan's from the first back edge on.)
TEST_F(IiLoop, AScaleThatChangesInTheLoopIsSeenAtEachStep) {
  const IbTstOp op{12, 9, 0, true, false, nullptr};
  put(cn[0], 1, 0);
  put(cn[1], 5, 1);
  put(cn[2], 10, 0);
  for (bool on_i : {true, false}) {
    put(var[0], 0, 0);
    put(var[1], 1 << 20, 0);
    put(var[3], 1, 0);
    bounds(1, 30, 1);
    restart();
    uint8_t* loop = beg_i();
    bld_ira(&m.code, on_i ? ira_i : ira[1], 1);
    cnst(on_i ? 2 : 0, 2);
    uint32_t msg = 0;
    ASSERT_EQ(bld_if_and_or(&m.code, op, op, 3, 38, 10, &msg), 1) << msg;
    // CALC F = F how 0.5.
    auto by_half = [&](uint32_t f, char how) {
      bld_calc_reset(&m.code);
      for (int i = 0; i < 2; ++i) {
        bld_ira(&m.code, f, 1);
        bld_calc_load(&m.code, 12);
      }
      cnst(1, 1);
      bld_calc_load(&m.code, 12);
      bld_calc_eval(&m.code, how);
      bld_calc_eval(&m.code, '=');
    };
    uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x1FF);
    if (on_i) {
      by_half(ira_i, '+');
    } else {
      bld_calc_reset(&m.code);
      calc_add(ira[0], ira[3]);
    }
    rec::view<IbTfc>(tfc).to = here();
    if (!on_i) by_half(ira[1], '*');
    close_loop(loop, nullptr);
    uint64_t before = ii_loop_plan_iterations();
    int rc;
    EXPECT_EQ(both_ways(false, &rc), "") << on_i;
    EXPECT_EQ(rc, 1) << on_i;
    EXPECT_GT(ii_loop_plan_iterations() - before, 8u) << on_i;
    if (!on_i) {
      EXPECT_EQ(value_of(var[0]), 20);  // V above 1 from 2^20 to 2
    }
  }
}

// HOOK (100, 4 bytes): what the test changes between two entries of an
// inner loop's plan, given the outer loop variable's value.
constexpr uint16_t kOpHook = 100;
std::function<void(int64_t)> g_hook;
const uint8_t* g_hook_i = nullptr;  // the outer loop's variable
uint8_t* h_hook(IlfExecBlock*, IlfState*, uint8_t* pc) {
  if (g_hook) g_hook(value_of(g_hook_i));
  return ii_adv(pc, 4);
}

// BEG LOOP I 1 TO 40; HOOK; BEG LOOP J 1 TO 30; CALC A = A + J * C; CALC
// B = B + J; CALC Y = X; END LOOP J; END LOOP I (B and its target through
// field indexes of their own, C a constant): between two entries of the
// inner loop's plan the hook moves B onto A or onto the inner loop's STEP,
// writes X's bytes (another value, the negative zero, a negative scale),
// changes C's value or scale, points B's loads at another field, swaps
// the sign nibbles (Y = X = 0 then written again under the other pair:
// the plan keeps no bytes of a value from the last entry) or sets the
// length that the SET_ADDR_LEN just before END LOOP J gives (the probe after
// it sees the registers). The plan runs exactly or not at all, and most
// iterations still run by it.
TEST_F(IiLoop, WhatChangesBetweenTwoEntriesIsSeenByTheNext) {
  ii_set_pair(kOpHook, h_hook);
  uint32_t ira_b = 0;
  field(1, &ira_b);
  uint8_t* lcb2 = areas[ira_lcb2].get();
  std::vector<uint8_t*> b_loads;  // the IRAs of B in CALC B = B + J
  uint8_t* j_len = nullptr;       // the SET_ADDR_LEN before END LOOP J
  auto word_of = [&](uint32_t ira) { return arena::offset_of(reinterpret_cast<uint8_t*>(&areas[ira])); };
  auto neg_zero = [](uint8_t* p, int scale) {
    pacdec::store8(p, com.pd_neg);
    p[8] = uint8_t(scale);
  };
  const std::pair<const char*, std::function<void(int64_t)>> kCases[] = {
      {"B onto A", [&](int64_t n) { areas[ira_b].set(n % 4 == 3 ? var[0] : var[1]); }},
      {"B onto STEP", [&](int64_t n) { areas[ira_b].set(n % 4 == 3 ? lcb2 + 9 : var[1]); }},
      {"X written", [&](int64_t n) { n % 4 == 2 ? neg_zero(var[2], 0) : put(var[2], n * 7 - 100, n % 4 == 3 ? 255 : 0); }},
      {"C changed", [&](int64_t n) { put(cn[0], n % 4 == 2 ? 5 : 3, n % 4 == 3 ? 1 : 0); }},
      {"B's loads moved", [&](int64_t n) {
         for (uint8_t* p : b_loads)
           if (rec::view<IbInst>(p).op & 1) rec::view<rec::U32>(p + 4) = word_of(n % 4 == 2 ? ira[3] : ira_b);
       }},
      {"signs swapped", [&](int64_t n) {
         if (n % 4 == 3) std::swap(com.pd_pos, com.pd_neg);
         put(var[2], 0, 0);
       }},
      {"END LOOP J's length", [&](int64_t n) { rec::view<IbAddrLen>(j_len).len = n % 4 == 3 ? 8 : 9; }}};
  for (const auto& [name, change] : kCases) {
    for (int k = 0; k < 5; ++k) put(var[k], 0, 0);
    put(var[2], 11, 0);
    put(cn[0], 3, 0);
    areas[ira_b].set(var[1]);
    bounds(1, 40, 1);
    put(vjfrom, 1, 0);
    put(vjto, 30, 0);
    put(vjstep, 1, 0);
    restart();
    uint8_t* loop = beg_i();
    m.emit(kOpHook, 4);
    uint8_t* jl = beg(false, ira_j, ira_jfrom, ira_jto, ira_jstep, ira_lcb2);
    bld_calc_reset(&m.code);
    for (uint32_t f : {ira[0], ira[0], ira_j}) {
      bld_ira(&m.code, f, 1);
      bld_calc_load(&m.code, 12);
    }
    cnst(0, 1);
    bld_calc_load(&m.code, 12);
    bld_calc_eval(&m.code, '*');
    bld_calc_eval(&m.code, '+');
    bld_calc_eval(&m.code, '=');
    bld_calc_reset(&m.code);
    b_loads.clear();
    for (uint32_t f : {ira_b, ira_b, ira_j}) {
      uint8_t* p = bld_ira(&m.code, f, 1);
      if (f == ira_b) b_loads.push_back(p);
      bld_calc_load(&m.code, 12);
    }
    bld_calc_eval(&m.code, '+');
    bld_calc_eval(&m.code, '=');
    bld_calc_reset(&m.code);
    for (uint32_t f : {ira[4], ira[2]}) {
      bld_ira(&m.code, f, 1);
      bld_calc_load(&m.code, 12);
    }
    bld_calc_eval(&m.code, '=');
    bld_ira(&m.code, ira_j, 1);
    j_len = bld_addr_len(&m.code, 1, 9);
    bld_end_loop(&m.code, false, ira_lcb2);
    rec::view<IbBegLoop>(jl).exit = here();
    probe();
    end_loop(false, ira_i, ira_lcb, loop);
    probe();
    end();
    g_hook = change;
    g_hook_i = vi;
    uint64_t before = ii_loop_plan_iterations();
    int rc;
    EXPECT_EQ(both_ways(true, &rc), "") << name;
    EXPECT_EQ(rc, 1) << name;
    EXPECT_GT(ii_loop_plan_iterations() - before, 250u) << name;  // of 40 x 29
  }
  g_hook = nullptr;
}

TEST_F(IiLoop, NoPlanWhileTracing) {
  sum_loop(500);
  FILE* t = std::tmpfile();
  ii_set_trace(t);
  uint64_t before = ii_loop_plan_iterations();
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  ii_set_trace(nullptr);
  std::fclose(t);
  EXPECT_EQ(ii_loop_plan_iterations(), before);
  EXPECT_EQ(value_of(var[0]), 500 * 501 / 2);
  // And without the trace the same loop runs by its plan.
  put(var[0], 0, 0);
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_GT(ii_loop_plan_iterations(), before + 400);
  EXPECT_EQ(value_of(var[0]), 500 * 501 / 2);
}

// BEG LOOP I FROM 1 TO 3000, A = A + I under the truth of a test, and
// how often the loop was planned and by a plan iterated, on the first run
// (which relocates the code) and on the second.
struct Planned {
  uint64_t builds[2], iterations[2];
};

// A body no plan takes (a compare of a binary field at a scale past 31) is
// looked at once, not again and again as one waiting for its first run; a
// compare of binary fields, of a fixed packed field (whose instruction
// keeps its even opcode), of texts, and IF with AND (the level checked first, the T
// path's registers not those of the other) are planned. The loop gives its
// result each time.
TEST_F(IiLoop, BodiesWithTestsArePlannedOrRefusedOnce) {
  constexpr int kN = 3000;
  uint32_t ira_l = 0;
  uint8_t* l = field(5, &ira_l);
  auto loop_with = [&](const std::function<void()>& test, int64_t sum) {
    put(var[0], 0, 0);
    bounds(1, kN, 1);
    put(var[1], 5, 0);
    pacdec::store_be(l, com.pd_pos, 5);  // L = 0
    rec::view<rec::U32>(bin) = 1;
    restart();
    uint8_t* loop = beg_i();
    test();
    uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x1FF);
    bld_calc_reset(&m.code);
    calc_add(ira[0], ira_i);
    rec::view<IbTfc>(tfc).to = here();
    end_loop(false, ira_i, ira_lcb, loop);
    end();
    Planned p{};
    for (int r = 0; r < 2; ++r) {
      put(var[0], 0, 0);
      uint64_t b = ii_loop_plan_builds(), it = ii_loop_plan_iterations();
      EXPECT_EQ(run(ii2::cref(1, 0)), 1);
      EXPECT_EQ(value_of(var[0]), sum);
      p.builds[r] = ii_loop_plan_builds() - b;
      p.iterations[r] = ii_loop_plan_iterations() - it;
    }
    return p;
  };
  auto test = [&](IbTstOp a, uint32_t ra, IbTstOp b, uint32_t rb, uint8_t rel, int verb) {
    bld_ira(&m.code, ra, 1);
    bld_ira(&m.code, rb, 2);
    uint32_t msg = 0;
    ASSERT_EQ(bld_if_and_or(&m.code, a, b, rel, verb, 10, &msg), 1) << msg;
  };
  IbTstOp fix{8, 5, 0, true, false, nullptr}, var_op{12, 9, 0, true, false, nullptr}, bin4{5, 4, 0, true, false, nullptr};
  const int64_t all = int64_t(kN) * (kN + 1) / 2;
  // IF B EQ B (binary, one at scale 32): no plan.
  IbTstOp bin_odd = bin4;
  bin_odd.scale = 32;
  Planned p = loop_with([&] { test(bin4, ira_bin, bin_odd, ira_bin, 1, 38); }, 0);
  EXPECT_LE(p.builds[0], 2u);
  EXPECT_LE(p.builds[1], 1u);
  EXPECT_EQ(p.iterations[0] + p.iterations[1], 0u);
  // IF B EQ B (binary, 1 against 1 read as two bytes unsigned).
  IbTstOp bin2 = bin4;
  bin2.len = 2;
  bin2.is_signed = false;
  p = loop_with([&] { test(bin4, ira_bin, bin2, ira_bin, 1, 38); }, all);
  EXPECT_LE(p.builds[1], 1u);
  EXPECT_GT(p.iterations[1], uint64_t(kN) / 2);
  // IF L LT B (L fixed, 0; B 5).
  p = loop_with([&] { test(fix, ira_l, var_op, ira[1], 5, 38); }, all);
  EXPECT_LE(p.builds[1], 1u);
  EXPECT_GT(p.iterations[1], uint64_t(kN) / 2);
  // IF D GT E (a text date, 2026-01-01, against a binary one, 2025-12-31).
  IbTstOp txt{4, 8, 0, true, false, "08070605"}, day{7, 4, 0, true, false, "08070605"};
  std::memcpy(dt[0], "20260101", 8);
  rec::view<rec::U32>(dt[1]) = 739616;
  p = loop_with([&] { test(txt, ira_dt[0], day, ira_dt[1], 3, 38); }, all);
  EXPECT_LE(p.builds[1], 1u);
  EXPECT_GT(p.iterations[1], uint64_t(kN) / 2);
  // IF T LT U (texts of 6 and 20, the same but for U's rest, "G" and blanks).
  IbTstOp t6{1, 6, 0, true, false, nullptr}, t20{1, 20, 0, true, false, nullptr};
  std::memcpy(tx[0], "ABCDEF", 6);
  std::memcpy(tx[1], "ABCDEFG             ", 20);
  p = loop_with([&] { test(t6, ira_tx[0], t20, ira_tx[1], 5, 38); }, all);
  EXPECT_LE(p.builds[1], 1u);
  EXPECT_GT(p.iterations[1], uint64_t(kN) / 2);
  // IF I GT B AND L LT B: true from I = 6 on.
  p = loop_with(
      [&] {
        test(var_op, ira_i, var_op, ira[1], 3, 38);
        test(fix, ira_l, var_op, ira[1], 5, 51);
      },
      all - 15);
  EXPECT_LE(p.builds[1], 1u);
  EXPECT_GT(p.iterations[1], uint64_t(kN) / 2);
}

// A date over the low bytes of a variable the body adds 1 to: compared
// again each time (no plan compares it once), on the first run and on the
// second, which finds every instruction relocated.
// A fixed packed field the body stores (once run: in place), under a
// condition never true: a negative zero or the other positive sign nibble
// on entry keeps the plan from starting (its canonical bytes would be
// written back), 7 does not; each keeps its bytes.
TEST_F(IiLoop, AFixedFieldTheBodyStoresStartsThePlanOnlyInItsCanonicalBytes) {
  for (int form = 0; form < 3; ++form) {
    put_fixed(fx[1], 5, form == 2 ? 7 : 0);
    if (form == 0) pacdec::store_be(fx[1], com.pd_neg, 5);
    if (form == 1) fx[1][4] |= 0x0F;
    const std::vector<uint8_t> was(fx[1], fx[1] + 5);
    put(var[0], 0, 0);
    put(var[1], 1, 0);
    put(var[2], 2, 0);
    put(var[3], 3, 0);
    bounds(1, 200, 1);
    restart();
    uint8_t* loop = beg_i();
    bld_ira(&m.code, ira[1], 1);
    bld_ira(&m.code, ira[2], 2);
    IbTstOp v{12, 9, 0, true, false, nullptr};
    uint32_t msg = 0;
    ASSERT_EQ(bld_if_and_or(&m.code, v, v, 1, 38, 10, &msg), 1) << msg;
    uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x1FF);
    bld_ira(&m.code, ira_fx[1], 1);
    bld_ira(&m.code, ira[3], 2);
    bld_move_fix_var(&m.code, 5, 0);
    rec::view<IbTfc>(tfc).to = here();
    bld_calc_reset(&m.code);
    calc_add(ira[0], ira_i);
    end_loop(false, ira_i, ira_lcb, loop);
    end();
    put(var[2], 1, 0);
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
    put(var[2], 2, 0);
    put(var[0], 0, 0);
    std::memcpy(fx[1], was.data(), 5);
    uint64_t it = ii_loop_plan_iterations();
    int rc = 0;
    EXPECT_EQ(both_ways(true, &rc), "") << form;
    EXPECT_EQ(std::vector<uint8_t>(fx[1], fx[1] + 5), was) << form;
    EXPECT_EQ(value_of(var[0]), 20100) << form;
    EXPECT_EQ(ii_loop_plan_iterations() - it > 100, form == 2) << form;
  }
}

TEST_F(IiLoop, ADateTheBodyChangesIsComparedEachTime) {
  IbTstOp pk{10, 5, 0, true, false, "08070605"};
  loop_if_sum(
      [&] {
        bld_calc_reset(&m.code);
        calc_add(ira[2], ira[3]);
      },
      pk, ira_dt_var, pk, ira_dt[2], 3);
  for (int r = 0; r < 2; ++r) {
    put(var[0], 0, 0);
    put(var[2], 20260101, 0);
    put(var[3], 1, 0);
    bounds(1, 20, 1);
    put_fixed(dt[2], 5, 20260110);
    EXPECT_EQ(run(ii2::cref(1, 0)), 1);
    EXPECT_EQ(value_of(var[0]), 11) << r;  // 2026-01-11 .. 2026-01-21
  }
}

// A text date the body adds a day to, compared with a binary one
// (2026-01-10) each time: after the tenth.
TEST_F(IiLoop, ADateTheBodyAddsToIsComparedEachTime) {
  IbTstOp txt{4, 8, 0, true, false, "08070605"}, day{7, 4, 0, true, false, "08070605"};
  loop_if_sum(
      [&] {
        bld_ira(&m.code, ira_dt[0], 1);
        bld_ira(&m.code, ira[3], 2);
        bld_date_add(&m.code, IbDateOp{kDtText, 8, "08070605"}, 12, 9, true, 0, 1, kOpDateAddDd);
      },
      txt, ira_dt[0], day, ira_dt[1], 3);
  for (int r = 0; r < 2; ++r) {
    put(var[0], 0, 0);
    put(var[3], 1, 0);
    bounds(1, 20, 1);
    std::memcpy(dt[0], "20260101", 8);
    rec::view<rec::U32>(dt[1]) = 739626;
    uint64_t it = ii_loop_plan_iterations();
    EXPECT_EQ(run(ii2::cref(1, 0)), 1);
    EXPECT_EQ(value_of(var[0]), 11) << r;  // 2026-01-11 .. 2026-01-21
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dt[0]), 8), "20260121");
    EXPECT_GT(ii_loop_plan_iterations(), it + 10);
  }
}

// The same for a text over the low digits of such a variable (C = C + 1
// from 0), compared with one over another's (5): equal once.
TEST_F(IiLoop, ATextTheBodyChangesIsComparedEachTime) {
  IbTstOp t6{1, 6, 0, true, false, nullptr};
  loop_if_sum(
      [&] {
        bld_calc_reset(&m.code);
        calc_add(ira[2], ira[3]);
      },
      t6, ira_tx_var[0], t6, ira_tx_var[1], 1);
  for (int r = 0; r < 2; ++r) {
    put(var[0], 0, 0);
    put(var[2], 0, 0);
    put(var[3], 1, 0);
    put(var[4], 5, 0);
    bounds(1, 20, 1);
    EXPECT_EQ(run(ii2::cref(1, 0)), 1);
    EXPECT_EQ(value_of(var[0]), 1) << r;
  }
}

// Text moves in a body of SETs and the sum of I, made as the instructions
// make them, by a plan: a text of 20 from the date constant and then from
// a text of 6 (the padding over digits) or from another of 20 (every word
// copied over another value); a text over the fourth byte of another from
// it and into it (moves over themselves, which change the text each time).
TEST_F(IiLoop, TextMovesArePlanned) {
  struct Move {
    uint64_t t, s;  // text operands (text_op)
  };
  const uint64_t in = kTextOps + 2, date = kTexts + 1;
  const std::vector<std::vector<Move>> cases = {
      {{1, date}, {1, 0}}, {{1, date}, {1, 2}}, {{in, 1}}, {{1, in}}};
  for (const auto& moves : cases) {
    put(var[0], 0, 0);
    bounds(1, 50, 1);
    std::memcpy(tx[0], "ABCDEF", 6);
    std::memcpy(tx[1], "XXXXXXG\x1fGXXXXXXXXXXX", 20);
    std::memcpy(tx[2], "0123456789ABCDEFGHIJ", 20);
    std::memcpy(dt_cn, "20260101", 8);
    restart();
    uint8_t* loop = beg_i();
    for (const Move& mv : moves) {
      uint16_t t = text_op(mv.t, 1), f = text_op(mv.s, 2);
      if (t > f) bld_move_char_pad(&m.code, f, uint16_t(t - f));
      else bld_move_char(&m.code, t);
    }
    bld_calc_reset(&m.code);
    calc_add(ira[0], ira_i);
    end_loop(false, ira_i, ira_lcb, loop);
    end();
    uint64_t it = ii_loop_plan_iterations();
    int rc = 0;
    EXPECT_EQ(both_ways(true, &rc), "") << moves.size() << " moves from " << moves[0].s;
    EXPECT_EQ(rc, 1);
    EXPECT_GT(ii_loop_plan_iterations(), it + 40);
  }
}

// SET NO(I) = I; SET A = NO(I); IF NO(I) GT B (T) CALC C = C + 1 (words)
// and SET XO(I) = T; IF XO(I) = T (T) CALC C = C + 1 (texts of 8 and 20),
// arrays of 400, are planned; I one past the last stops the plan where the
// instructions stop, with 102710. SET NW(IX) = I; CALC A = A + I, with
// NW's maximum past its end over A (IX 5): no plan starts; IX 4, NW's own
// maximum: one does.
TEST_F(IiLoop, OccurrencesArePlannedAndStopWhereTheInstructionsStop) {
  constexpr int kN = 400;
  watch_errors();
  uint32_t ira_no = 0, ira_xo = 0;
  uint8_t* no = field(4 * kN, &ira_no);
  uint8_t* xo = field(8 * kN, &ira_xo);
  // Runs the code with plans (first) and without: the same outcome; the
  // iterations by a plan.
  auto both = [&] {
    uint64_t it = ii_loop_plan_iterations();
    int rc = 0;
    EXPECT_EQ(both_ways(true, &rc), "");
    return ii_loop_plan_iterations() - it;
  };
  auto set_no_and_a = [&] {  // SET NO(I) = I; SET A = NO(I)
    bld_ira(&m.code, ira_no, 1);
    bld_occ_pd(&m.code, ira_i, 1, 4, kN);
    bld_ira(&m.code, ira_i, 2);
    bld_set_pd_to_bin(&m.code, 4, true, 0, true, 9, 0);
    bld_ira(&m.code, ira[0], 1);
    bld_ira(&m.code, ira_no, 2);
    bld_occ_pd(&m.code, ira_i, 2, 4, kN);
    bld_set_bin_to_pd(&m.code, 4, true, 0, true, 9, 0);
  };
  auto if_count = [&](IbTstOp a, IbTstOp b, uint8_t rel) {  // IF a rel b (T) CALC C = C + 1
    uint32_t msg = 0;
    ASSERT_EQ(bld_if_and_or(&m.code, a, b, rel, 38, 10, &msg), 1) << msg;
    uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x1FF);
    bld_calc_reset(&m.code);
    calc_add(ira[1], ira[3]);
    rec::view<IbTfc>(tfc).to = here();
  };
  for (bool text : {false, true})
    for (int64_t to : {int64_t(kN), int64_t(kN) + 1}) {
      put(var[0], 0, 0);
      put(var[1], 0, 0);
      put(var[3], 1, 0);
      rec::view<rec::U32>(bin) = 20;
      bounds(1, to, 1);
      std::memset(no, 0, 4 * kN);
      std::memset(xo, ' ', 8 * kN);
      std::memcpy(tx[1], "ABCDEF              ", 20);
      restart();
      uint8_t* loop = beg_i();
      if (!text) {
        set_no_and_a();
        // IF NO(I) GT B, NO(I) at scale 1 and B 20: I from 201 on.
        bld_ira(&m.code, ira_no, 1);
        bld_occ_pd(&m.code, ira_i, 1, 4, kN);
        bld_ira(&m.code, ira_bin, 2);
        if_count(IbTstOp{5, 4, 1, true, false, nullptr}, IbTstOp{5, 4, 0, true, false, nullptr}, 3);
      } else {
        bld_ira(&m.code, ira_xo, 1);
        bld_occ_pd(&m.code, ira_i, 1, 8, kN);
        bld_ira(&m.code, ira_tx[1], 2);
        bld_move_char(&m.code, 8);
        bld_ira(&m.code, ira_xo, 1);
        bld_occ_pd(&m.code, ira_i, 1, 8, kN);
        bld_ira(&m.code, ira_tx[1], 2);
        if_count(IbTstOp{1, 8, 0, true, false, nullptr}, IbTstOp{1, 20, 0, true, false, nullptr}, 1);
      }
      end_loop(false, ira_i, ira_lcb, loop);
      probe();
      end();
      EXPECT_GT(both(), uint64_t(kN) / 2) << text << " to " << to;
      EXPECT_EQ(last_err(), to > kN ? kIiErrOcc : 0u) << text;
      EXPECT_EQ(value_of(var[0]), text ? 0 : kN) << text << " to " << to;
      EXPECT_EQ(value_of(var[1]), text ? kN : kN - 200) << text << " to " << to;
      EXPECT_EQ(text ? std::memcmp(xo + 8 * (kN - 1), "ABCDEF  ", 8) : int(rec::view<rec::U32>(no + 4 * (kN - 1)).get()),
                text ? 0 : kN);
    }
  for (int64_t at : {int64_t(kElems), int64_t(kElems) + 1}) {
    put(var[0], 0, 0);
    put(ix, at, 0);
    bounds(1, 300, 1);
    restart();
    uint8_t* loop = beg_i();
    bld_ira(&m.code, ira_nw, 1);
    bld_occ_pd(&m.code, ira_ix, 1, 4, at > kElems ? kElems + 2 : kElems);
    bld_ira(&m.code, ira_i, 2);
    bld_set_pd_to_bin(&m.code, 4, true, 0, true, 9, 0);
    bld_calc_reset(&m.code);
    calc_add(ira[0], ira_i);
    end_loop(false, ira_i, ira_lcb, loop);
    probe();
    end();
    EXPECT_EQ(both() > 200, at == kElems) << at;
  }
  // CALC R = K - R; IF NW(IX) GT B (T) CALC C = C + 1, with R over NW's
  // last byte (IX 4, NW's own maximum), K 3 x 10^14 and B 0x18000000: R's
  // top digits, NW(4)'s high byte, are 2 and 1 in turn, and each read of
  // NW(4) sees the R stored last (no plan holds R apart from it).
  {
    uint32_t ira_r = 0;
    field(1, &ira_r);
    areas[ira_r].set(nw + 4 * kElems - 1);
    std::memset(nw, 0, 4 * kElems - 1);
    put(nw + 4 * kElems - 1, 100000000000000, 0);
    put(cn[0], 300000000000000, 0);
    rec::view<rec::U32>(bin) = 0x18000000;
    put(var[1], 0, 0);
    put(var[3], 1, 0);
    put(ix, kElems, 0);
    bounds(1, 300, 1);
    restart();
    uint8_t* lp = beg_i();
    bld_calc_reset(&m.code);
    bld_ira(&m.code, ira_r, 1);
    bld_calc_load(&m.code, 12);
    cnst(0, 1);
    bld_calc_load(&m.code, 12);
    bld_ira(&m.code, ira_r, 1);
    bld_calc_load(&m.code, 12);
    bld_calc_eval(&m.code, '-');
    bld_calc_eval(&m.code, '=');
    bld_ira(&m.code, ira_nw, 1);
    bld_occ_pd(&m.code, ira_ix, 1, 4, kElems);
    bld_ira(&m.code, ira_bin, 2);
    if_count(IbTstOp{5, 4, 0, true, false, nullptr}, IbTstOp{5, 4, 0, true, false, nullptr}, 3);
    end_loop(false, ira_i, ira_lcb, lp);
    probe();
    end();
    both();
    EXPECT_EQ(value_of(var[1]), 150);
  }
  // SET XT(IX) = D (the date constant); IF T = U (T) CALC C = C + 1; SET
  // XT(IX) = U, with T the text after XT (IX 5, XT's maximum past its end):
  // T is compared each time, never equal to U there. With T over XT's last
  // byte instead (IX 4, XT's own maximum) and U "1ABCDE", T is U after each
  // SET from D: compared each time too, equal each time.
  uint32_t ira_u = 0, ira_t = 0;
  uint8_t* u = field(6, &ira_u);
  field(1, &ira_t);
  areas[ira_t].set(xt + 8 * kElems - 1);
  std::memcpy(dt_cn, "20260101", 8);
  uint8_t* loop = nullptr;
  for (bool over_last : {false, true}) {
    std::memcpy(u, over_last ? "1ABCDE" : "ABCDEF", 6);
    std::memset(xt, ' ', 8 * kElems);
    std::memcpy(tx[0], "ABCDEF", 6);
    put(var[1], 0, 0);
    put(var[3], 1, 0);
    put(ix, over_last ? kElems : kElems + 1, 0);
    bounds(1, 300, 1);
    restart();
    loop = beg_i();
    auto set_xt = [&](bool date) {
      bld_ira(&m.code, ira_xt, 1);
      bld_occ_pd(&m.code, ira_ix, 1, 8, over_last ? kElems : kElems + 2);
      if (date) cnst_at(dt_cn, 2);
      else bld_ira(&m.code, ira_u, 2);
      if (date) bld_move_char(&m.code, 8);
      else bld_move_char_pad(&m.code, 6, 2);
    };
    set_xt(true);
    bld_ira(&m.code, over_last ? ira_t : ira_tx[0], 1);
    bld_ira(&m.code, ira_u, 2);
    if_count(IbTstOp{1, 6, 0, true, false, nullptr}, IbTstOp{1, 6, 0, true, false, nullptr}, 1);
    set_xt(false);
    end_loop(false, ira_i, ira_lcb, loop);
    probe();
    end();
    EXPECT_GT(both(), 200u) << over_last;
    EXPECT_EQ(value_of(var[1]), over_last ? 300 : 0) << over_last;
  }
  // SET NO(I) = I; SET A = NO(I): register 2 is left at an element when the
  // body ends, and each entry takes it from there.
  put(var[0], 0, 0);
  bounds(1, kN, 1);
  restart();
  loop = beg_i();
  set_no_and_a();
  end_loop(false, ira_i, ira_lcb, loop);
  probe();
  end();
  EXPECT_GT(both(), uint64_t(kN) / 2);
  EXPECT_EQ(value_of(var[0]), kN);
}

// A CALC integer the body stores (BI = BI + 1 from 250), compared as its
// low byte with its word: equal up to 255, not from 256 on. The byte is no
// register, so no plan may read it once for all; the sum counts the
// iterations that found them equal, each time the same.
TEST_F(IiLoop, ABinaryFieldTheBodyStoresIsReadAgainAsItsLowByte) {
  IbTstOp b1{5, 1, 0, false, false, nullptr}, b4{5, 4, 0, true, false, nullptr};
  loop_if_sum(
      [&] {
        bld_calc_reset(&m.code);
        bld_ira(&m.code, ira_bin, 1);
        bld_calc_load(&m.code, 5);
        bld_ira(&m.code, ira_bin, 1);
        bld_calc_load(&m.code, 5);
        bld_calc_eval(&m.code, '$');
        cnst(0, 1);
        bld_calc_load(&m.code, 12);
        bld_calc_eval(&m.code, '+');
        bld_calc_eval(&m.code, '=');
      },
      b1, ira_bin, b4, ira_bin, 1);
  for (int r = 0; r < 2; ++r) {
    put(var[0], 0, 0);
    put(var[3], 1, 0);
    put(cn[0], 1, 0);
    rec::view<rec::U32>(bin) = 250;
    bounds(1, 40, 1);
    EXPECT_EQ(run(ii2::cref(1, 0)), 1);
    EXPECT_EQ(value_of(var[0]), 5) << r;  // 251 .. 255
    EXPECT_EQ(rec::view<rec::U32>(bin).get(), 290u) << r;
  }
}

// GOSUB in the body: the routine after the event point's END runs inside
// the plan, RETURN gives the caller's mask back.
TEST_F(IiLoop, AGosubInTheBodyIsPlanned) {
  constexpr int kN = 3000;
  put(var[0], 0, 0);
  bounds(1, kN, 1);
  restart();
  uint8_t* loop = beg_i();
  uint8_t* go = bld_gosub(&m.code, ii2::no_code());
  end_loop(false, ira_i, ira_lcb, loop);
  end();
  rec::view<IbGosub>(go).label = here();
  bld_calc_reset(&m.code);
  calc_add(ira[0], ira_i);
  bld_return(&m.code);
  uint64_t it = ii_loop_plan_iterations();
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_EQ(value_of(var[0]), int64_t(kN) * (kN + 1) / 2);
  EXPECT_GT(ii_loop_plan_iterations() - it, uint64_t(kN) / 2);
  // A routine whose CALC runs for I above kN - 10 alone: that CALC, not
  // run before, is where the plan leaves (inside the routine), not a reason
  // to build it again and again.
  put(var[0], 0, 0);
  put(var[1], kN - 10, 0);
  restart();
  loop = beg(false, ira_i, ira_from, ira_to, ira_step, ira_lcb);
  go = bld_gosub(&m.code, ii2::no_code());
  end_loop(false, ira_i, ira_lcb, loop);
  end();
  rec::view<IbGosub>(go).label = here();
  bld_ira(&m.code, ira_i, 1);
  bld_ira(&m.code, ira[1], 2);
  IbTstOp var_op{12, 9, 0, true, false, nullptr};
  uint32_t msg = 0;
  ASSERT_EQ(bld_if_and_or(&m.code, var_op, var_op, 3, 38, 10, &msg), 1) << msg;
  uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x1FF);
  bld_calc_reset(&m.code);
  calc_add(ira[0], ira_i);
  rec::view<IbTfc>(tfc).to = here();
  bld_return(&m.code);
  uint64_t builds = ii_loop_plan_builds();
  it = ii_loop_plan_iterations();
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_EQ(value_of(var[0]), 10 * int64_t(kN) - 45);  // kN-9 + ... + kN
  EXPECT_LE(ii_loop_plan_builds() - builds, 4u);
  EXPECT_GT(ii_loop_plan_iterations() - it, uint64_t(kN) / 2);
}

// The yield comes within the plan, and finds the fields written back: A
// holds 1 + ... + (I - 1) at the top of the body.
struct PingSeen {
  const uint8_t* a = nullptr;
  const uint8_t* i = nullptr;
  long pings = 0, wrong = 0;
  int64_t last_i = 0, gap = 0;  // the loop variable at the last yield, the most iterations between two
};
PingSeen g_seen;
bool ping_check() {
  ++g_seen.pings;
  int64_t i = value_of(g_seen.i), a = value_of(g_seen.a);
  if (a != (i - 1) * i / 2) ++g_seen.wrong;
  g_seen.gap = std::max(g_seen.gap, i - g_seen.last_i);
  g_seen.last_i = i;
  return true;
}

TEST_F(IiLoop, YieldsFindTheFieldsWrittenBack) {
  constexpr int kN = 20000;
  sum_loop(kN);
  g_seen = PingSeen{var[0], vi};
  uint64_t before = ii_loop_plan_iterations();
  int rc = run_pinging(ping_check);
  EXPECT_EQ(rc, 1);
  EXPECT_GT(ii_loop_plan_iterations(), before + kN / 2);
  EXPECT_EQ(value_of(var[0]), int64_t(kN) * (kN + 1) / 2);
  // A plan's iteration here is two steps: a yield once they pass 1000, at
  // the 501st iteration after the last at the latest.
  EXPECT_GE(g_seen.pings, kN / 500 - 1);
  EXPECT_LE(g_seen.gap, 501);
  EXPECT_EQ(g_seen.wrong, 0);
}

// An iteration counts its longest path towards the yield, through a branch
// too: IF I < 0 is never true, so (T) TFU to END LOOP is passed over and the
// four sums after it run each time: six steps at least (the compare and its
// branch in one, the sums, END LOOP), a yield at least every 166 iterations.
// Apart: a sum between the IF and its branch, a step of its own.
// BEG LOOP I 1 TO 20; BEG LOOP J 1 TO 1500 (a constant); CALC A = A + J;
// END LOOP J; END LOOP I: the outer loop's plan runs the inner loop, and
// the yields inside it (before its END LOOP) and at the top of the outer
// body find the fields written back: A holds (I - 1) x 1500 x 1501 / 2 and
// then 1 + ... + J, or 1 + ... + (J - 1) between two of the inner loop's
// statements.
// Then the same nest with the inner loop's control block the outer loop's,
// or over a variable the body reads: no plan runs it, and the instructions
// give their outcome.
TEST_F(IiLoop, AnOuterLoopsPlanRunsTheInnerLoopAndYieldsInIt) {
  constexpr int64_t kI = 20, kJ = 1500, kSum = kJ * (kJ + 1) / 2;
  put(var[0], 0, 0);
  put(cn[0], kJ, 0);
  put(vjfrom, 1, 0);
  put(vjstep, 1, 0);
  bounds(1, kI, 1);
  auto nest = [&](uint32_t lcb2, uint32_t add) {
    restart();
    uint8_t* loop = beg_i();
    uint8_t* jl = beg_j(lcb2);
    bld_calc_reset(&m.code);
    calc_add(ira[0], add);
    end_loop(false, ira_j, lcb2, jl);
    end_loop(false, ira_i, ira_lcb, loop);
    end();
  };
  nest(ira_lcb2, ira_j);
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);  // (relocates the code)
  put(var[0], 0, 0);
  put(vi, 1, 0);  // (as the last run left them, a yield before BEG LOOP would find them)
  put(areas[ira_j].get(), 1, 0);
  g_seen = PingSeen{var[0], vi};
  static const uint8_t* s_j;
  s_j = areas[ira_j].get();
  uint64_t begun = ii_loop_plan_inner();
  EXPECT_EQ(run_pinging([] {
              ++g_seen.pings;
              const int64_t i = value_of(g_seen.i), j = value_of(s_j);
              const int64_t a = value_of(g_seen.a) - (i - 1) * kSum;
              if (a != 0 && a != j * (j + 1) / 2 && a != j * (j - 1) / 2) ++g_seen.wrong;
              return true;
            }),
            1);
  EXPECT_EQ(value_of(var[0]), kI * kSum);
  EXPECT_GE(ii_loop_plan_inner() - begun, uint64_t(kI - 1));
  EXPECT_GE(g_seen.pings, kI * kJ / 500 - 1);  // (an inner iteration two steps at least)
  EXPECT_EQ(g_seen.wrong, 0);
  for (uint32_t lcb2 : {ira_lcb, ira_half}) {
    put(var[0], 0, 0);
    put(var[1], 7, 0);
    nest(lcb2, ira[1]);
    begun = ii_loop_plan_inner();
    int rc;
    EXPECT_EQ(both_ways(true, &rc), "") << lcb2;
    EXPECT_EQ(both_ways(true, &rc), "") << lcb2;
    EXPECT_EQ(ii_loop_plan_inner() - begun, 0u) << lcb2;
  }
}

// BEG LOOP I 1 TO 30; BEG LOOP J FROM F TO 3; CALC A = A + J; END LOOP J;
// CALC F = K (K 1); END LOOP I, F 0.5 at first: the inner loop's first
// BEG LOOP takes the decimal path, and the outer loop's plan runs the
// later ones over integers. It leaves the inner control block as their
// BEG LOOPs do, marked as of integers again.
TEST_F(IiLoop, AnInnerLoopBegunOverDecimalsThenByThePlanIsOfIntegersAgain) {
  put(cn[0], 3, 0);
  put(cn[1], 1, 0);
  put(vjstep, 1, 0);
  bounds(1, 30, 1);
  restart();
  uint8_t* loop = beg_i();
  uint8_t* jl = beg_j(ira_lcb2);
  bld_calc_reset(&m.code);
  calc_add(ira[0], ira_j);
  end_loop(false, ira_j, ira_lcb2, jl);
  bld_calc_reset(&m.code);
  bld_ira(&m.code, ira_jfrom, 1);
  bld_calc_load(&m.code, 12);
  cnst(1, 1);
  bld_calc_load(&m.code, 12);
  bld_calc_eval(&m.code, '=');
  end_loop(false, ira_i, ira_lcb, loop);
  end();
  for (int pass = 0; pass < 2; ++pass) {  // (the first relocates the code)
    put(var[0], 0, 0);
    put(vjfrom, 5, 1);
    uint64_t begun = ii_loop_plan_inner();
    int rc;
    ASSERT_EQ(both_ways(true, &rc), "") << pass;
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(value_of(var[0]), 45 + 29 * 60);  // 0.5 + 1.5 + 2.5, then 29 x (1 + 2 + 3): 178.5
    EXPECT_EQ(var[0][8], 1);
    if (pass == 1) {
      EXPECT_GE(ii_loop_plan_inner() - begun, 20u);
    }
  }
}

// A body runs at most four inner loops itself: with four its plan runs
// them all, with a fifth the body has no plan; both leave what the
// instructions leave.
TEST_F(IiLoop, AnOuterPlanRunsFourInnerLoopsAndRefusesAFifth) {
  constexpr int64_t kI = 10, kJ = 3;
  uint32_t blocks[5];
  for (uint32_t& b : blocks) field(28, &b);
  put(cn[0], kJ, 0);
  put(vjfrom, 1, 0);
  put(vjstep, 1, 0);
  bounds(1, kI, 1);
  for (int n : {4, 5}) {
    put(var[0], 0, 0);
    restart();
    uint8_t* loop = beg_i();
    for (int k = 0; k < n; ++k) {
      uint8_t* jl = beg_j(blocks[k]);
      bld_calc_reset(&m.code);
      calc_add(ira[0], ira_j);
      end_loop(false, ira_j, blocks[k], jl);
    }
    end_loop(false, ira_i, ira_lcb, loop);
    end();
    uint64_t begun = ii_loop_plan_inner();
    int rc;
    EXPECT_EQ(both_ways(true, &rc), "") << n;
    EXPECT_EQ(rc, 1) << n;
    EXPECT_EQ(value_of(var[0]), kI * n * kJ * (kJ + 1) / 2) << n;
    EXPECT_EQ(both_ways(true, &rc), "") << n;  // (the code relocated: planned now if at all)
    if (n == 4) EXPECT_GE(ii_loop_plan_inner() - begun, uint64_t(4 * (kI - 2))) << n;
    else EXPECT_EQ(ii_loop_plan_inner() - begun, 0u) << n;
  }
}

TEST_F(IiLoop, YieldsCountTheLongestPathThroughABranch) {
  constexpr int kN = 30000;
  for (bool apart : {false, true}) {
    put(var[0], 0, 0);
    put(var[1], 0, 0);
    put(cn[0], 0, 0);
    bounds(1, kN, 1);
    restart();
    uint8_t* loop = beg_i();
    bld_ira(&m.code, ira_i, 1);
    cnst(0, 2);
    const IbTstOp op{12, 9, 0, true, false, nullptr};
    uint32_t msg = 0;
    ASSERT_EQ(bld_if_and_or(&m.code, op, op, 5, 38, 10, &msg), 1) << msg;
    if (apart) {
      bld_calc_reset(&m.code);
      calc_add(ira[1], ira_i);
    }
    uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x1FF);
    uint8_t* tfu = bld_tfu(&m.code, ii2::no_code());
    rec::view<IbTfc>(tfc).to = here();
    for (int k = 0; k < 4; ++k) {
      bld_calc_reset(&m.code);
      calc_add(ira[0], ira_i);
    }
    rec::view<IbTfu>(tfu).to = here();
    close_loop(loop, nullptr);
    g_seen = PingSeen{};
    uint64_t before = ii_loop_plan_iterations();
    EXPECT_EQ(run_pinging([] {
                ++g_seen.pings;
                return true;
              }),
              1);
    EXPECT_EQ(value_of(var[0]), 4 * int64_t(kN) * (kN + 1) / 2) << apart;
    EXPECT_GT(ii_loop_plan_iterations(), before + kN / 2) << apart;
    EXPECT_GE(g_seen.pings, kN / 166 - 1) << apart;
  }
}

// The trace comes on at a yield inside the plan: the plan leaves at the top
// of the body with everything written back, and the interpreter takes every
// iteration after it under the trace.
FILE* g_trace_file = nullptr;
long g_trace_pings = 0;
const uint8_t* g_trace_i = nullptr;
int64_t g_i_at_trace = 0;
bool trace_on_ping() {
  // (Once the loop is well under way: the run may yield before it.)
  if (g_i_at_trace == 0 && value_of(g_trace_i) >= 100) {
    ++g_trace_pings;
    ii_set_trace(g_trace_file);
    g_i_at_trace = value_of(g_trace_i);
  }
  return true;
}

TEST_F(IiLoop, TraceComingOnAtAYieldStopsThePlan) {
  constexpr int kN = 5000;
  sum_loop(kN);
  g_trace_file = std::tmpfile();
  g_trace_pings = 0;
  g_i_at_trace = 0;
  g_trace_i = vi;
  uint64_t before = ii_loop_plan_iterations();
  int rc = run_pinging(trace_on_ping);
  ii_set_trace(nullptr);
  long traced = std::ftell(g_trace_file);
  std::fclose(g_trace_file);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(value_of(var[0]), int64_t(kN) * (kN + 1) / 2);
  ASSERT_GT(g_trace_pings, 0);
  // The plan ran until the trace came on, and no iteration after it.
  uint64_t planned = ii_loop_plan_iterations() - before;
  EXPECT_GT(planned, 0u) << "I at the trace " << g_i_at_trace << ", pings " << g_trace_pings;
  EXPECT_LT(g_i_at_trace, kN / 2);
  EXPECT_LE(planned, uint64_t(g_i_at_trace));
  EXPECT_GT(traced, 0);
}

// An endless loop (STEP 0, as BEG LOOP K = 001 TO 002 STEP 000 is) ends
// when a signal comes from outside while it runs, by its plan or by the
// instructions: SIGINT ends the event point's scope with 4 and the scopes
// around it go on; SIGTERM and SIGHUP end every scope up to the outermost
// with 4. Every scope's pool goes, and the sum holds what the last
// completed iteration left.
TEST_F(IiLoop, ASignalEndsAnEndlessLoop) {
  ASSERT_EQ(com.depth, 0);
  // A job started in the background has SIGINT ignored, and the engine
  // leaves an ignored signal ignored: here each is to be caught.
  ss_release_stop_signals();
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old{};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) std::signal(sig, SIG_DFL);
  }
  ss_catch_stop_signals();
  struct Case {
    int sig;
    bool plans;
  };
  for (Case c : {Case{SIGINT, true}, Case{SIGINT, false}, Case{SIGTERM, true}, Case{SIGHUP, false}}) {
    SCOPED_TRACE("signal " + std::to_string(c.sig) + (c.plans ? " with the plan" : " without"));
    sum_loop(2);
    put(vstep, 0, 0);
    ii_loop_set_plans(c.plans);
    ss_stop_clear();
    size_t pools = mm_pool_count();
    uint64_t before = ii_loop_plan_iterations();
    pthread_t self = pthread_self();
    std::atomic<bool> done{false};
    std::thread sender([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      pthread_kill(self, c.sig);
      // A loop the signal does not end would run for ever (and take the
      // runner's SIGTERM too).
      for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (!done) {
        std::fprintf(stderr, "the signal did not end the loop\n");
        std::abort();
      }
    });
    int rc = 0, inner = 0;
    int outer = ::mark(1, [&] {
      mm_create_pool(" OUTER", com.depth, 0);
      inner = ::mark(5, [&] {
        mm_create_pool(" INNER", com.depth, 0);
        rc = run(ii2::cref(1, 0));
      });
    });
    done = true;
    sender.join();
    EXPECT_EQ(com.depth, 0);
    EXPECT_EQ(mm_pool_count(), pools);
    int64_t sum = value_of(var[0]);
    EXPECT_GT(sum, 1000);
    EXPECT_EQ(value_of(vi), 1);
    if (c.plans) EXPECT_GE(uint64_t(sum), ii_loop_plan_iterations() - before);
    else EXPECT_EQ(ii_loop_plan_iterations(), before);
    if (c.sig == SIGINT) {
      EXPECT_EQ(rc, 4);
      EXPECT_EQ(inner, 1);
      EXPECT_EQ(outer, 1);
      EXPECT_FALSE(ss_interrupted());
      EXPECT_EQ(ss_end_status(), 0);
    } else {
      EXPECT_EQ(outer, 4);
      EXPECT_EQ(ss_stop_signal(), c.sig);
      EXPECT_EQ(ss_end_status(), kExitStopSignal);
    }
    EXPECT_EQ(com.dbg_ctl_bits & kSsInterruptBit, 0u);
  }
  ss_stop_clear();
  ss_release_stop_signals();
}

}  // namespace
