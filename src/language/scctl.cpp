// Control statements compiled: loops over the calculation variables of
// "0LA", GOSUB and RETURN, the error trap.
#include <cstdio>
#include <cstring>
#include <string>

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
  const CElem* e = nullptr;   // (where the compile keeps it)
  bool binary = false;
  uint32_t ira = 0;
};

int loop_var(ScCtx* sc, const ScLoopVal& v, LoopVar* lv) {
  char letter = char(v.v[0]);
  if (letter < 'A' || letter > 'Z') return 0;
  char name[2] = {letter, 0};
  lv->e = sc_ref_0la_at(sc, name, 1);
  if (!lv->e) return 0;
  lv->binary = lv->e->e.type == 5;
  if (!lv->binary && !bld_addr_len(sc_code(sc), 1, uint8_t(lv->e->e.length))) return 0;
  lv->ira = pc_get_ira(sc_pc(sc), "0LA", lv->e->e.area, 6, lv->e->field_offset);
  return lv->ira ? 1 : 0;
}

// FROM, TO or STEP into register reg.
int bloop_val(ScCtx* sc, const ScLoopVal& v, int reg, const LoopVar& lv) {
  IbCode* code = sc_code(sc);
  if (v.flag == 1) {
    char name[3] = {char(v.v[0]), char(v.v[1]) == ' ' ? '\0' : char(v.v[1]), '\0'};
    const CElem* o = sc_ref_0la_at(sc, name, reg);
    if (!o) return 0;
    if (o->e.type != lv.e->e.type)
      return bld_loop_cnv(code, reg, lv.e->e.type, o->e.type, uint8_t(o->e.length)) ? 1 : 0;
    return lv.binary || bld_addr_len(code, reg, uint8_t(o->e.length)) ? 1 : 0;
  }
  int16_t num = int16_t(uint16_t(v.v[0] | v.v[1] << 8));
  uint32_t ref = 0;
  if (lv.binary) {
    uint8_t b[4];
    rec::view<rec::U32>(b) = uint32_t(int32_t(num));
    ref = sc_put_cnst(sc_pc(sc)->em, b, 4, 0);
  } else {
    char text[16];
    int n = std::snprintf(text, sizeof text, "%d", int(num));
    if (!sc_pd_cnst(sc, text, n, &ref)) return 0;
  }
  if (!bld_cnst(code, ref, reg)) return 0;
  return lv.binary || bld_addr_len(code, reg, 9) ? 1 : 0;
}

int fail(ScCtx* sc, uint32_t preset) { return sc_fail(sc, preset); }
// An operand byte out of its range: its own message, not the verb's.
int refuse(ScCtx* sc, uint32_t msg) {
  sc_err(sc, msg);
  return 0;
}

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

// ------------------------------------------------ invocations and calls --
namespace {

// The process type an invocation verb gives its child (0: not one).
uint8_t invoc_type(int verb) {
  switch (verb) {
    case 44: return 1;   // MENU
    case 40: return 2;   // INPUT
    case 53: return 3;   // OUTPUT
    case 2: return 4;    // ACTION
    case 58: return 5;   // QUERY
    case 76: return 6;   // SUBR
    case 87: return 7;   // UPDATE
    case 88: return 8;   // JOB
    case 89: return 9;   // INQUIRY
    case 90: return 10;  // STATUS
    case 91: return 11;  // DISP
    default: return 0;
  }
}
bool flag_ok(uint8_t b) { return b == '0' || b == '1' || b == ' '; }
std::string app_of(const ScOpnd& op) { return std::string(op.app.data(), 3); }

// The text operand of RUN and CALL into register 1: a constant (22
// characters at most) or an alpha field; its length, 0 after the error.
uint32_t text_operand(ScCtx* sc, const ScOpnd& op, uint32_t preset) {
  CElem e;
  std::memset(static_cast<void*>(&e), 0, sizeof e);
  int kind = 0;
  if (!sc_cmpl_ref(sc, op, &e, 1, &kind, 0)) {
    sc_fail(sc, preset);
    return 0;
  }
  uint8_t t = e.e.type;
  if (t != 1 && t != 2 && t != 13) {
    sc_err(sc, preset);
    return 0;
  }
  return e.e.length ? uint32_t(e.e.length) : 1;
}

}  // namespace

// An invocation statement: refused in a Query process and in type 12.
int cmpl_proc(ScCtx* sc, DStmt* st) {
  int t = sc_pc(sc)->em->proc_type;
  if (t == 5 || t == 12) {
    sc_err(sc, kScProcInQuery);
    return 0;
  }
  const auto& ops = rec::view<ScOpsInvoc>(st->ops.b);
  if (ops.kind > 2) return refuse(sc, 100895);
  if (!flag_ok(ops.replace)) return refuse(sc, 102620);
  if (ops.fail > 3) return refuse(sc, 102630);
  uint8_t type = invoc_type(st->verb);
  if (!type) return fail(sc, kScNoVerb);
  EmHeader* em = sc_pc(sc)->em;
  em->n_invocs = em->n_invocs + 1;
  if (!bld_invoc(sc_code(sc), sc_shift(sc), type, ops.app.data(), ops.name.data(), ops.kind, ops.replace,
                 ops.fail, em->n_invocs))
    return fail(sc, kScNoVerb);
  return 1;
}

int cmpl_run(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsRun>(st->ops.b);
  if (!flag_ok(ops.b30)) return refuse(sc, 102620);
  if (ops.b31 > 3) return refuse(sc, 102630);
  uint32_t len = text_operand(sc, ops.text, 101650);
  if (!len) return 0;
  return bld_run(sc_code(sc), sc_shift(sc), ops.b30 == '1' ? 1 : 0, ops.b31, len) ? 1 : fail(sc, 101650);
}

int cmpl_call(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsRun>(st->ops.b);
  if (!flag_ok(ops.b31)) return refuse(sc, 102620);
  if (ops.b32 > 3) return refuse(sc, 102630);
  uint32_t len = text_operand(sc, ops.text, 101070);
  if (!len) return 0;
  // The keep-loaded flag: Y ('1') keeps the library; N ('0') and blank do not.
  uint8_t keep = ops.b30 == '1' ? 1 : 0;
  return bld_call(sc_code(sc), sc_shift(sc), keep, ops.b31, ops.b32, len) ? 1 : fail(sc, 101070);
}

// PASS: the record a CALL or RUN will read, with the field index of the
// item's area. A constant has no area: it is loaded into register 1 and
// its instruction carries the field index of the steering record (data
// area 3, always there, never read for it); the run then records the
// constant's own address (PifRec byte 30 = 1).
int cmpl_pass(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsPass>(st->ops.b);
  constexpr uint32_t kErr = 101550;
  PcCtx* pc = sc_pc(sc);
  PifRec r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  std::memcpy(r.app.data(), ops.item.app.data(), 3);
  r.kind = ops.kind;
  r.by_ref = ops.by_ref == '1' ? 1 : 0;
  int k = ops.kind;
  if (k == 1 || k == 5 || k == 7) {
    CElem e;
    std::memset(static_cast<void*>(&e), 0, sizeof e);
    int kind = 0;
    if (!sc_cmpl_ref(sc, ops.item, &e, 1, &kind, 0)) {
      // A field of an application outside the compile: the abort
      // instruction is in place, the statement compiles.
      if (sc_msg(sc) == kPcNoApp) return 1;
      return sc_fail(sc, kErr);
    }
    if (kind == 2) {
      if (r.by_ref) {
        sc_err(sc, kScNoTarget);
        return 0;
      }
      r.by_ref = 0;
      r.b30[0] = 1;
      r.ira = 3;
    } else {
      // The whole data area of the field's area kind, and the field's
      // offset in it (a given occurrence's).
      uint32_t occ = ops.item.occ_mode == 0 && ops.item.occ >= 2 ? uint32_t(ops.item.occ - 1) : 0;
      r.ira = pc_get_ira(pc, app_of(ops.item).c_str(), e.e.area, k == 5 ? 3 : k == 7 ? 2 : 0, 0);
      r.offset = uint32_t(e.field_offset) + occ * e.e.length;
      if (!r.ira) return fail(sc, kErr);
    }
    // The data type in the low byte; 0x100 marks a signed binary.
    r.type = uint32_t(e.e.type) | (e.e.type == 5 && e.e.sign == '1' ? 0x100u : 0u);
    r.len = e.e.length;
    return bld_pass(sc_code(sc), r) ? 1 : fail(sc, kErr);
  }
  if (k < 2 || k > 7) return fail(sc, kErr);
  char app[4] = {}, file[9] = {};
  std::memcpy(app, ops.item.app.data(), 3);
  std::memcpy(file, ops.item.text.data(), 8);
  EmCap* cap = pc_ap(app, pc);
  if (!cap) {
    if (k == 2) return bld_abort(sc_code(sc), kErr) ? 1 : 0;
    sc_err(sc, kPcNoApp);
    return 0;
  }
  EmCfi cfi;
  if (!pc_fi(cap, file, &cfi, pc)) return fail(sc, kErr);
  r.len = cfi.fdb.rec_len;
  if (k == 2) {
    pc_cfi_use(pc, &cfi, 0x0F);
    r.ira = pc_get_ira(pc, app, cfi.ctl_area, 1, 0);
  } else {
    r.ira = pc_get_ira(pc, app, cfi.rec_area, k == 3 ? 0 : k == 4 ? 3 : 2, 0);
  }
  if (!r.ira) return fail(sc, kErr);
  return bld_pass(sc_code(sc), r) ? 1 : fail(sc, kErr);
}
