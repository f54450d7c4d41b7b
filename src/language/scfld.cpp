// Field statements compiled: SET between every pair of data types, APPEND,
// SET TOT, STORE and RESTORE.
//
// Decisions:
//   - A number, date or logic value moved into an alpha field always ends
//     with FMT_ALP of the converted text (the target's mask, case code and
//     justification; left justified without one): the text reaches the
//     target whether or not it has a mask.
//   - A variable packed source is shown with all its digits (NUM_TO_ALP
//     without a mask: the value's own text); an unsigned binary one as
//     unsigned (NUM_TO_ALP form 6).
//   - The null test (SET_IF_NULL) is built for a number source whose
//     element gives a null value: a source equal to it gives the target
//     its own null value (a number's null value, blanks for an alpha, the
//     null date) and the conversion is skipped. A logic target takes none;
//     other sources convert their null forms themselves (the null date
//     shows blank, a logic blank gives the null date).
#include <algorithm>
#include <cstring>

#include "language/ibdate.h"
#include "language/ibfi.h"
#include "language/ibfld.h"
#include "language/ibutil.h"
#include "language/scfam.h"
#include "process/emrec.h"
#include "process/pc.h"

namespace {

constexpr uint16_t kVerbScan = 66;   // SET made up by a SCAN for its return block

bool is_alpha(uint8_t t) { return t == 1 || t == 2 || t == 13; }
bool is_date(uint8_t t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }
bool is_num(uint8_t t) { return t == 5 || t == 8 || t == 12; }
bool is_known(uint8_t t) { return is_alpha(t) || is_date(t) || is_num(t) || t == 11; }

IbDateOp date_op(const DElem& e) { return IbDateOp{e.type, e.length, e.mask.data()}; }
uint8_t scale_of(const DElem& e) { return e.type == 12 ? 0 : e.decimals; }
bool sg(const DElem& e) { return e.sign == '1'; }
uint8_t justify_of(const DElem& e) { return e.justify >= 1 && e.justify <= 4 ? e.justify : 1; }
int mask_len(const DElem& e) {
  int n = 60;
  while (n > 0 && (e.mask[n - 1] == ' ' || e.mask[n - 1] == 0)) --n;
  return n;
}

// NUM_TO_ALP of a number source into scratch value 1: the mask of its
// digits (nines, a zero before the point, its decimals, a sign).
bool num_to_alp(IbCode* code, const DElem& e) {
  char mask[40];
  int n = 0;
  if (e.type != 12) {
    int digits = std::clamp<int>(e.digits, 1, 16);
    for (int i = 1; i < digits; ++i) mask[n++] = '9';
    mask[n++] = '0';
    if (e.decimals) {
      mask[n++] = '.';
      for (int i = 0; i < std::min<int>(e.decimals, 16); ++i) mask[n++] = '9';
    }
    if (sg(e)) mask[n++] = '-';
  }
  uint8_t form = e.type;
  if (e.type == 5) {
    if (e.length != 1 && e.length != 2 && e.length != 4) {
      os_sys_err_text("IBFLD.C", __LINE__, "ibfld.c, bld_num_to_alp entered default in switch");
      return false;
    }
    if (!sg(e)) form = 6;
  }
  return bld_ld_len(code, 1, uint16_t(n)) &&
         bld_num_to_alp(code, form, e.digits, scale_of(e), e.length, mask, uint16_t(n));
}

// The conversion of SET by target and source type (registers loaded).
// 1 built (or nothing to build), 0 with *msg (0: a system error).
int set_conv(ScCtx* sc, const CElem& tc, const CElem& scl, const char* src_app, uint32_t* msg) {
  IbCode* code = sc_code(sc);
  const DElem &t = tc.e, &s = scl.e;
  uint8_t tt = t.type, st = s.type;
  *msg = 0;
  if (!is_alpha(st) && !is_date(st) && !is_num(st) && st != 11) {
    os_sys_err_text("SCFLD.C", __LINE__, "cmpl_set() - unexpected case switch");
    return 0;
  }
  auto fmt = [&](uint8_t work) {
    return bld_fmt_alp(code, t.length, work, t.case_code, justify_of(t), t.mask.data(), uint16_t(mask_len(t))) !=
           nullptr;
  };
  if (is_alpha(tt)) {
    if (is_alpha(st)) {
      bool edit = mask_len(t) > 0 || (t.justify >= 2 && t.justify <= 4) || (t.case_code != 0 && t.case_code != 2);
      if (edit)
        return bld_alp_to_alp(code, t.length, s.length, t.case_code, justify_of(t), t.mask.data(),
                              uint16_t(mask_len(t))) != nullptr;
      if (t.length > s.length) return bld_move_char_pad(code, s.length, uint16_t(t.length - s.length)) != nullptr;
      return bld_move_char(code, t.length) != nullptr;
    }
    if (is_date(st)) return bld_cnv_date(code, kOpDateToAlp, date_op(s)) && fmt(2);
    // A number with tokens shows its token's text (the field's own
    // application's token group).
    if (st == 5 && s.token_mark != 0 && src_app)
      return bld_token_to_alp(code, src_app, s.domain.data(), s.length, t.length) != nullptr;
    if (is_num(st)) return num_to_alp(code, s) && fmt(1);
    return bld_op(code, 142) && bld_ld_len(code, 1, 1) && fmt(1);  // logic
  }
  if (is_date(tt)) {
    if (is_alpha(st)) return bld_cnv_date(code, kOpAlpToDate, date_op(t), st, false, s.length) != nullptr;
    if (is_date(st)) {
      bool none = false;
      uint8_t* p = bld_date_to_date(code, date_op(t), date_op(s), &none);
      return p || none;
    }
    if (is_num(st)) return bld_cnv_date(code, kOpNumToDate, date_op(t), st, sg(s), s.length) != nullptr;
    return bld_cnv_date(code, kOpLogToDate, date_op(t)) != nullptr;
  }
  if (tt == 5) {
    if (t.length != 1 && t.length != 2 && t.length != 4) {
      *msg = sc_msg(sc);
      return 0;
    }
    if (is_alpha(st))
      return bld_alp_to_bin(code, s.length, t.digits, t.decimals, sg(t)) && bld_cmprs_bin(code, t.length, sg(t));
    if (is_date(st))
      return bld_cnv_date(code, kOpDateToPd, date_op(s)) &&
             bld_set_pd_to_bin(code, t.length, sg(t), t.decimals, false, 16, 0);
    if (st == 5) return bld_set_bin_to_bin(code, t.length, sg(t), t.decimals, s.length, sg(s), s.decimals) != nullptr;
    if (st == 8) return bld_set_pd_to_bin(code, t.length, sg(t), t.decimals, false, s.length, s.decimals) != nullptr;
    if (st == 12) return bld_set_pd_to_bin(code, t.length, sg(t), t.decimals, true, s.length, 0) != nullptr;
    return bld_move_bin_log(code, t.digits, t.decimals) && bld_cmprs_bin(code, t.length, sg(t));
  }
  if (tt == 8) {
    if (is_alpha(st)) return bld_move_pd_char(code, t.decimals, s.length, 1) && bld_unxpnd(code, t.length);
    // (The date's number is whole: a target with decimals gets it shifted.)
    if (is_date(st))
      return bld_cnv_date(code, kOpDateToPd, date_op(s)) &&
             (t.decimals ? bld_move_pd_shft(code, 16, t.length, t.decimals) : bld_move_pd(code, 16, t.length));
    if (st == 5) return bld_set_bin_to_pd(code, s.length, sg(s), s.decimals, false, t.length, t.decimals) != nullptr;
    if (st == 8) {
      if (s.decimals == t.decimals)
        return (s.length == t.length ? bld_move_char(code, t.length) : bld_move_pd(code, s.length, t.length)) !=
               nullptr;
      return bld_move_pd_shft(code, s.length, t.length, int32_t(t.decimals) - int32_t(s.decimals)) != nullptr;
    }
    if (st == 12) return bld_move_fix_var(code, t.length, t.decimals) != nullptr;
    return bld_move_fix_log(code, t.length, t.digits, t.decimals) != nullptr;
  }
  if (tt == 11) {
    if (is_alpha(st)) return bld_op(code, 180) != nullptr;
    if (is_date(st)) return bld_cnv_date(code, kOpDateToLog, date_op(s)) != nullptr;
    if (st == 5) return bld_bin_to_log(code, uint8_t(s.length)) != nullptr;
    if (st == 8) return bld_pd_to_log(code, uint8_t(s.length), true, s.decimals) != nullptr;
    if (st == 12) return bld_pd_to_log(code, uint8_t(s.length - 1), false, 0) != nullptr;
    return bld_op(code, 132) != nullptr;
  }
  if (tt == 12) {
    if (is_alpha(st)) return bld_move_var_char(code, s.length) != nullptr;
    if (is_date(st)) return bld_cnv_date(code, kOpDateToPd, date_op(s)) && bld_move_var_fix(code, 0, 16);
    if (st == 5) return bld_set_bin_to_pd(code, s.length, sg(s), s.decimals, true, t.length, 0) != nullptr;
    if (st == 8) return bld_move_var_fix(code, s.decimals, uint8_t(s.length)) != nullptr;
    if (st == 12) return bld_move_char(code, t.length) != nullptr;
    return bld_op(code, 138) != nullptr;
  }
  *msg = sc_msg(sc);  // a target type SET does not take: the verb's message
  return 0;
}

// A reference that did not compile: none more for an application the
// compile does not have (the statement counts as compiled), else its
// message.
int ref_fail(ScCtx* sc, uint32_t preset) {
  if (sc_msg(sc) == kPcNoApp) return 1;
  return sc_fail(sc, preset);
}

}  // namespace

int cmpl_set(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  int kind = 0;
  const CElem* t = sc_ref(sc, ops.op1, nullptr, 1, &kind, kScRefTarget | kScRefStrictTarget);
  if (!t) return ref_fail(sc, preset);
  // A constant source takes the target's form.
  const CElem* s = nullptr;
  if (st->verb == kVerbScan) {
    // A SCAN's return block: the source is the scanned field, read from the
    // scan buffer at the field's place in its record.
    if (!(s = sc_ref(sc, ops.op2, &t->e, 0, &kind, kScRefTarget))) return ref_fail(sc, preset);
    uint32_t at = s->e.offset;
    if (ops.op2.occ_mode == 0 && ops.op2.occ > 1) at += (uint32_t(ops.op2.occ) - 1u) * s->e.length;
    if (at > 0xFFFFu || !bld_scan_ira(sc_code(sc), uint16_t(at), 2)) return sc_fail(sc, preset);
  } else if (!(s = sc_ref(sc, ops.op2, &t->e, 2, &kind, 0))) {
    return ref_fail(sc, preset);
  }
  sc_msg(sc) = preset;
  uint8_t* null_test = nullptr;
  const DElem &te = t->e, &se = s->e;
  if (is_num(se.type) && !se.null_value.blank() && te.type != 11 && is_known(te.type)) {
    bool num = is_num(te.type);
    const CElem* tn = sc_cnst(sc, num ? te.null_value.data() : " ", num ? 33 : 1, &te, true);
    uint32_t tn_ira = tn ? uint32_t(tn->ira) : 0;
    const CElem* sn = tn ? sc_cnst(sc, se.null_value.data(), 33, &se, true) : nullptr;
    if (!sn || !(null_test = bld_set_if_null(sc_code(sc), te.length, tn_ira, se.length, sn->ira)))
      return sc_fail(sc, preset);
  }
  uint32_t msg = 0;
  if (!set_conv(sc, *t, *s, ut_is_all(ops.op2.app.data(), ' ', 3) ? nullptr : ops.op2.app.data(), &msg)) {
    if (msg) sc_err(sc, msg);
    return 0;
  }
  if (null_test) rec::view<IbSetIfNull>(null_test).past = ib_here(sc_code(sc));
  return 1;
}

// APPEND: the alpha source after the alpha target's text.
int cmpl_append(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  CElem t, s;
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  std::memset(static_cast<void*>(&s), 0, sizeof s);
  int kind = 0;
  if (!sc_cmpl_ref(sc, ops.op1, &t, 1, &kind, kScRefTarget | kScRefStrictTarget)) return ref_fail(sc, preset);
  if (!sc_cmpl_ref(sc, ops.op2, &s, 2, &kind, 0)) return ref_fail(sc, preset);
  if (!is_alpha(t.e.type) || !is_alpha(s.e.type)) {
    sc_err(sc, 102230);
    return 0;
  }
  if (!bld_append(sc_code(sc), t.e.length, s.e.length, ops.rel)) return sc_fail(sc, preset);
  return 1;
}

// SET TOT: the report total of a field (9 packed bytes and a scale) into a
// field; outside the reporting process types, nothing.
int cmpl_set_tot(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  int type = sc_pc(sc)->def.proc_type;
  if (type != 3 && type != 4 && type != 6 && type != 7 && type != 9) return bld_op(sc_code(sc), 466) ? 1 : 0;
  CElem t, s;
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  std::memset(static_cast<void*>(&s), 0, sizeof s);
  int kind = 0;
  if (!sc_cmpl_ref(sc, ops.op1, &t, 1, &kind, kScRefTarget | kScRefStrictTarget)) return ref_fail(sc, preset);
  // The total is the accumulator's bucket of the current total level.
  if (!sc_cmpl_sum(sc, ops.op2, &s, 2, 1)) return ref_fail(sc, preset);
  s.e.type = 12;
  s.e.length = 9;
  s.e.digits = 15;
  s.e.decimals = 0;
  s.e.sign = '1';
  std::memset(s.e.mask.data(), ' ', 60);
  sc_msg(sc) = preset;
  uint32_t msg = 0;
  if (!set_conv(sc, t, s, nullptr, &msg)) {
    if (msg) sc_err(sc, msg);
    return 0;
  }
  return 1;
}

namespace {
// STORE and RESTORE of a record (kind 3, or 6 its default record): the
// file's record and its saved copy, whole.
int xxstore_record(ScCtx* sc, const ScOpnd& op, uint8_t kind_byte, bool store, uint32_t preset) {
  auto fail = [&](uint32_t m) {
    sc_err(sc, m);
    return 0;
  };
  if (ut_is_all(op.app.data(), ' ', 3)) return fail(102270);
  // The reference names a file: nothing after its 8 characters.
  if (!ut_is_all(op.text.data() + 8, ' ', 14)) return fail(102440);
  char app[4] = {}, file[9] = {};
  std::memcpy(app, op.app.data(), 3);
  std::memcpy(file, op.text.data(), 8);
  PcCtx* pc = sc_pc(sc);
  pc->em->status = 0;
  EmCap* cap = pc_ap(app, pc);
  if (!cap) return pc->em->status == kPcNoApp ? 1 : fail(preset);
  EmCfi cfi;
  std::memset(static_cast<void*>(&cfi), 0, sizeof cfi);
  if (!pc_fi(cap, file, &cfi, pc)) return fail(102440);
  uint32_t rec = cfi.rec_ira, saved = pc_get_ira(pc, app, cfi.rec_area, kind_byte == 3 ? 3 : 2, 0);
  IbCode* code = sc_code(sc);
  if (!rec || !saved || !bld_ira(code, store ? saved : rec, 1) || !bld_ira(code, store ? rec : saved, 2) ||
      !bld_move_char(code, cfi.fdb.rec_len))
    return fail(preset);
  return 1;
}
}  // namespace

// STORE and RESTORE: a field (kind 1, or 7 its default) and its saved copy,
// or a record.
int cmpl_xxstore(ScCtx* sc, DStmt* st) {
  const auto& op = rec::view<ScOpnd>(st->ops.b);
  uint8_t kind_byte = st->ops.b[30];
  uint32_t preset = sc_msg(sc);
  bool store = st->verb == 75;
  if (kind_byte == 3 || kind_byte == 6) return xxstore_record(sc, op, kind_byte, store, preset);
  if (kind_byte != 1 && kind_byte != 7) {
    sc_err(sc, 102960);
    return 0;
  }
  CElem f, c;
  std::memset(static_cast<void*>(&f), 0, sizeof f);
  std::memset(static_cast<void*>(&c), 0, sizeof c);
  int kind = 0;
  // STORE: the saved copy (register 1) from the field (2); RESTORE the other way.
  if (!sc_cmpl_ref(sc, op, &f, store ? 2 : 1, &kind, store ? 0u : uint32_t(kScRefTarget))) return ref_fail(sc, preset);
  if (!sc_cmpl_ref(sc, op, &c, store ? 1 : 2, &kind, kind_byte == 1 ? kScRefIra3 : kScRefIra2))
    return ref_fail(sc, preset);
  if (!bld_move_char(sc_code(sc), f.e.length)) return sc_fail(sc, preset);
  return 1;
}

// SET TEMP: FROM moves the temporary field's part into the field's, INTO the
// other way. The target goes to register 1 and the source to register 2;
// length registers 1 and 2 hold their 1-based positions, 3 the count.
int cmpl_set_temp(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsSetTemp>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  const bool from = std::memcmp(ops.dir.data(), "FROM", 4) == 0;
  if (!from && std::memcmp(ops.dir.data(), "INTO", 4) != 0) {
    sc_err(sc, 102460);
    return 0;
  }
  char name[11] = "TEMP ";
  std::memcpy(name + 5, ops.word.data(), 5);
  CElem tmp, f;
  std::memset(static_cast<void*>(&tmp), 0, sizeof tmp);
  std::memset(static_cast<void*>(&f), 0, sizeof f);
  int kind = 0;
  const int tmp_reg = from ? 2 : 1, f_reg = from ? 1 : 2;
  if (!sc_ref_0la(sc, name, &tmp, tmp_reg)) return sc_fail(sc, preset);
  if (!sc_cmpl_ref(sc, ops.field, &f, f_reg, &kind, from ? kScRefTarget | kScRefStrictTarget : 0u))
    return ref_fail(sc, preset);
  const uint8_t t = f.e.type;
  if (!(t == 1 || t == 13 || t == 3 || t == 4) || !is_alpha(tmp.e.type)) return sc_fail(sc, preset);
  const ScIndex& tgt_pos = from ? ops.pos : ops.at;
  const ScIndex& src_pos = from ? ops.at : ops.pos;
  if (!cmpl_ndx(sc, tgt_pos, 1, 1, 0) || !cmpl_ndx(sc, src_pos, 2, 1, 0) || !cmpl_ndx(sc, ops.count, 3, 0, 0))
    return sc_fail(sc, preset);
  const CElem& tg = from ? f : tmp;
  const CElem& sr = from ? tmp : f;
  if (!bld_set_temp(sc_code(sc), uint16_t(tg.e.length), uint16_t(sr.e.length))) return sc_fail(sc, preset);
  return 1;
}
