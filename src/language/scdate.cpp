// Date statements compiled: DATE ADD, DATE BTW, SET DATE, SET DAY, SET MNTH.
// Each checks its operands' types and units (the compile errors of each
// statement below) and builds one date instruction (ibdate.h).
#include <cstring>

#include "language/ibdate.h"
#include "language/scfam.h"
#include "process/pc.h"

namespace {

constexpr uint32_t kNotDate = 102380, kBadUnit = 102410, kNotNum = 102930, kNotAlpha = 102230,
                   kNotDateMnth = 102390;

bool is_date(uint8_t t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }
bool is_alpha(uint8_t t) { return t == 1 || t == 2 || t == 13; }
bool is_num(uint8_t t) { return t == 5 || t == 8 || t == 12; }
IbDateOp date_op(const DElem& e) { return IbDateOp{e.type, e.length, e.mask.data()}; }

// The unit range of a date element's compiled mask; a date that carries the
// year and not its century counts as carrying the century (the pivot, else
// the 1900s, gives it one).
bool range(const DElem& e, int* high, int* low) {
  DateDesc d;
  uint8_t t[64];
  if (!ib_date_desc(date_op(e), &d, t)) return false;
  *high = d.high == kUnitYear ? kUnitCentury : d.high;
  *low = d.low;
  return true;
}

struct Cmpl {
  ScCtx* sc;
  uint32_t preset;
  int fail(uint32_t m) {
    sc_err(sc, m ? m : preset);
    return 0;
  }
  // A reference that did not compile: an application the compile does not
  // have compiles the statement to nothing.
  int ref_fail() { return sc_msg(sc) == kPcNoApp ? 1 : sc_fail(sc, preset); }
  bool ref(const ScOpnd& op, CElem* e, int reg, uint32_t options) {
    int kind = 0;
    return sc_cmpl_ref(sc, op, e, reg, &kind, options) == 1;
  }
};
CElem blank_elem() {
  CElem e;
  std::memset(static_cast<void*>(&e), 0, sizeof e);
  return e;
}
bool is_const(const ScOpnd& op) { return ut_is_all(op.app.data(), ' ', 3); }

}  // namespace

int cmpl_date_add(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  Cmpl c{sc, sc_msg(sc)};
  int unit = ops.rel - '0';
  if (unit < 1 || unit > 8) return c.fail(0);
  CElem d = blank_elem(), n = blank_elem();
  if (!c.ref(ops.op1, &d, 1, kScRefTarget | kScRefStrictTarget)) return c.ref_fail();
  if (!is_date(d.e.type)) return c.fail(kNotDate);
  int high, low;
  if (!range(d.e, &high, &low) || unit < low || unit > high) return c.fail(kBadUnit);
  if (is_const(ops.op2)) INIT_NUM_DELEM(&n.e, 4, 10);
  if (!c.ref(ops.op2, &n, 2, 0)) return c.ref_fail();
  if (!is_num(n.e.type)) return c.fail(kNotNum);
  static const uint32_t kFactor[9] = {0, 1, 100, 6000, 360000, 1, 1, 12, 1200};
  uint16_t op = unit <= 4 ? kOpDateAddTh : unit == 5 ? kOpDateAddDd : kOpDateAddMm;
  uint8_t scale = n.e.type == 12 ? 0 : n.e.decimals;
  if (!bld_date_add(sc_code(sc), date_op(d.e), n.e.type, uint8_t(n.e.length), n.e.sign == '1', scale, kFactor[unit],
                    op))
    return c.fail(0);
  return 1;
}

int cmpl_date_btw(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  Cmpl c{sc, sc_msg(sc)};
  int unit = ops.rel - '0';
  if (unit < 1 || unit > 8) return c.fail(0);
  CElem a = blank_elem(), b = blank_elem();
  if (!c.ref(ops.op1, &a, 1, 0)) return c.ref_fail();
  if (!is_date(a.e.type)) return c.fail(kNotDate);
  b.e = a.e;
  if (!c.ref(ops.op2, &b, 2, 0)) return c.ref_fail();
  if (!is_date(b.e.type)) return c.fail(kNotDate);
  int h1, l1, h2, l2;
  if (!range(a.e, &h1, &l1) || !range(b.e, &h2, &l2)) return c.fail(kBadUnit);
  if (unit < l1 || unit > h1 || unit < l2 || unit > h2) return c.fail(kBadUnit);
  // Days need the year of both (a day number).
  if (unit <= 5 && (h1 < kUnitYear || h2 < kUnitYear)) return c.fail(kBadUnit);
  static const uint32_t kFactor[9] = {0, 1, 100, 6000, 360000, 1, 1, 12, 1200};
  uint16_t op = unit <= 4 ? kOpDateBtwTh : unit == 5 ? kOpDateBtwDd : kOpDateBtwMm;
  if (!bld_date_btw(sc_code(sc), date_op(a.e), date_op(b.e), kFactor[unit], op)) return c.fail(0);
  return 1;
}

int cmpl_set_date(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  Cmpl c{sc, sc_msg(sc)};
  CElem d = blank_elem();
  if (!c.ref(ops.op1, &d, 1, kScRefTarget | kScRefStrictTarget)) return c.ref_fail();
  if (!is_date(d.e.type)) return c.fail(kNotDate);
  if (!bld_set_date(sc_code(sc), date_op(d.e))) return c.fail(0);
  return 1;
}

namespace {
// SET DAY (needs a year and a day) and SET MNTH (a year and a month).
int set_name(ScCtx* sc, DStmt* st, bool day) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  Cmpl c{sc, sc_msg(sc)};
  CElem t = blank_elem(), d = blank_elem();
  if (!c.ref(ops.op1, &t, 1, kScRefTarget | kScRefStrictTarget)) return c.ref_fail();
  if (!is_alpha(t.e.type)) return c.fail(kNotAlpha);
  INIT_DATE_DELEM(&d.e);
  if (!c.ref(ops.op2, &d, 2, 0)) return c.ref_fail();
  if (!is_date(d.e.type)) return c.fail(day ? kNotDate : kNotDateMnth);
  int high, low;
  if (!range(d.e, &high, &low)) return c.fail(kBadUnit);
  if (day ? (high < kUnitYear || low > kUnitDay) : (high < kUnitMonth || low > kUnitMonth)) return c.fail(kBadUnit);
  if (!bld_set_day(sc_code(sc), t.e.length, date_op(d.e), ops.rel == 'S', day ? kOpSetDay : kOpSetMnth))
    return c.fail(0);
  return 1;
}
}  // namespace

int cmpl_set_day(ScCtx* sc, DStmt* st) { return set_name(sc, st, true); }
int cmpl_set_mnth(ScCtx* sc, DStmt* st) { return set_name(sc, st, false); }
