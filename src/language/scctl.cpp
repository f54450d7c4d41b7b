// Control statements compiled: loops over the calculation variables of
// "0LA", GOSUB and RETURN, the error trap.
#include <cstdio>
#include <cstring>

#include "language/ibctl.h"
#include "language/ibutil.h"
#include "language/scfam.h"
#include "process/pc.h"

namespace {

CodeRef later() {
  CodeRef c;
  c.block = 0xFFFF;
  c.offset = 0;
  return c;
}

// The loop variable of the letter in register 1 (its length in length
// register 1 for a packed loop) and its loop control block.
struct LoopVar {
  CElem e;
  bool binary = false;
  uint32_t ira = 0;
};

int loop_var(ScCtx* sc, const ScLoopVal& v, LoopVar* lv) {
  char letter = char(v.v[0]);
  if (letter < 'A' || letter > 'Z') return 0;
  char name[2] = {letter, 0};
  std::memset(static_cast<void*>(&lv->e), 0, sizeof lv->e);
  if (!sc_ref_0la(sc, name, &lv->e, 1)) return 0;
  lv->binary = lv->e.e.type == 5;
  if (!lv->binary && !bld_addr_len(sc_code(sc), 1, uint8_t(lv->e.e.length))) return 0;
  lv->ira = pc_get_ira(sc_pc(sc), "0LA", lv->e.e.area, 6, lv->e.field_offset);
  return lv->ira ? 1 : 0;
}

// FROM, TO or STEP into register reg.
int bloop_val(ScCtx* sc, const ScLoopVal& v, int reg, const LoopVar& lv) {
  IbCode* code = sc_code(sc);
  if (v.flag == 1) {
    char name[3] = {char(v.v[0]), char(v.v[1]) == ' ' ? '\0' : char(v.v[1]), '\0'};
    CElem o;
    std::memset(static_cast<void*>(&o), 0, sizeof o);
    if (!sc_ref_0la(sc, name, &o, reg)) return 0;
    if (o.e.type != lv.e.e.type)
      return bld_loop_cnv(code, reg, lv.e.e.type, o.e.type, uint8_t(o.e.length)) ? 1 : 0;
    return lv.binary || bld_addr_len(code, reg, uint8_t(o.e.length)) ? 1 : 0;
  }
  int16_t num = int16_t(uint16_t(v.v[0] | v.v[1] << 8));
  uint32_t ref = 0;
  if (lv.binary) {
    uint8_t b[4];
    rec::view<rec::U32>(b) = uint32_t(int32_t(num));
    ref = pc_put_cnst(sc_pc(sc)->em, b, 4, 0);
  } else {
    char text[16];
    int n = std::snprintf(text, sizeof text, "%d", int(num));
    if (!sc_pd_cnst(sc, text, n, &ref)) return 0;
  }
  if (!bld_cnst(code, ref, reg)) return 0;
  return lv.binary || bld_addr_len(code, reg, 9) ? 1 : 0;
}

int fail(ScCtx* sc, uint32_t preset) { return sc_fail(sc, preset); }

}  // namespace

int cmpl_beg_loop(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsLoop>(st->ops.b);
  LoopVar lv;
  if (!loop_var(sc, ops.letter, &lv) || !bloop_val(sc, ops.from, 2, lv) || !bloop_val(sc, ops.to, 3, lv) ||
      !bloop_val(sc, ops.step, 4, lv))
    return fail(sc, 101010);
  uint8_t* p = bld_beg_loop(sc_code(sc), lv.binary, lv.ira);
  if (!p) return fail(sc, 101010);
  sc_loop_open(sc, lv.binary, ops.letter.v[0] - 'A', sc_ref_of(sc, p));
  return 1;
}

int cmpl_end_loop(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsLoop>(st->ops.b);
  LoopVar lv;
  if (!loop_var(sc, ops.letter, &lv) || !bld_end_loop(sc_code(sc), lv.binary, lv.ira)) return fail(sc, 101280);
  if (!sc_loop_close(sc, lv.binary, ops.letter.v[0] - 'A')) {
    sc_err(sc, 102910);
    return 0;
  }
  return 1;
}

int cmpl_gosub(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsGosub>(st->ops.b);
  uint8_t* p = bld_gosub(sc_code(sc), later());
  if (!p) return fail(sc, 101350);
  sc_label_ref(sc, ops.app.data(), ops.label.data(), sc_ref_of(sc, p), true);
  return 1;
}

int cmpl_return(ScCtx* sc, DStmt*) { return bld_return(sc_code(sc)) ? 1 : fail(sc, 101630); }

int cmpl_overflow(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsLabel>(st->ops.b);
  bool clear = ut_is_all(ops.label.data(), ' ', 30);
  uint8_t* p = bld_overflow(sc_code(sc), later());
  if (!p) return fail(sc, 101540);
  if (!clear) sc_label_ref(sc, "   ", ops.label.data(), sc_ref_of(sc, p), false);
  return 1;
}

// TIMEOUT: the seconds field in register 1 and the label the file
// statements branch to when a record stays locked; a blank label clears it.
int cmpl_timeout(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTimeout>(st->ops.b);
  IbCode* code = sc_code(sc);
  bool clear = ut_is_all(ops.label.data(), ' ', 30);
  bool blank_app = ut_is_all(ops.secs.app.data(), ' ', 3);
  CElem e;
  std::memset(static_cast<void*>(&e), 0, sizeof e);
  int kind = 0;
  bool loaded = false;
  if (ops.secs.occ_mode == 2 && clear) {
    if (!blank_app) {
      if (!sc_cmpl_ref(sc, ops.secs, &e, 1, &kind, 0)) return fail(sc, 101770);
      loaded = true;
    } else if (!ut_is_all(ops.secs.text.data(), ' ', 22)) {
      return fail(sc, 101770);
    }
  } else {
    // A constant is read in the form of the work field "A" of "0LA".
    if (blank_app && !sc_ref_0la(sc, "A", &e, 0)) return fail(sc, 101770);
    if (!sc_cmpl_ref(sc, ops.secs, &e, 1, &kind, 0)) return fail(sc, 101770);
    loaded = true;
  }
  if (clear) return bld_timeout_clr(code) ? 1 : fail(sc, 101770);
  uint8_t t = e.e.type;
  if (!loaded || (t != 5 && t != 8 && t != 12)) {
    sc_err(sc, 101770);
    return 0;
  }
  uint8_t* p = bld_timeout(code, later(), t, uint8_t(e.e.length), e.e.sign == '1');
  if (!p) return fail(sc, 101770);
  sc_label_ref(sc, "   ", ops.label.data(), sc_ref_of(sc, p), false);
  return 1;
}
