// Image statements compiled: AT FIELD and POSITION (cmpl_pos), the
// attribute and display verbs (cmpl_chr), DEFINE and UNDEFINE (cmpl_def),
// and the message statements MESSAGE, WARNING, ERROR, CANCEL and REFRESH
// (cmpl_msg).
//
// Where a statement may act (event points) is decided here: elsewhere it
// compiles to a no-operation, as a designer may keep a statement in an event
// point that has no image.
#include <cstring>

#include "files/fm.h"
#include "foundation/ut.h"
#include "language/ibimg.h"
#include "language/ibmisc.h"
#include "language/ibutil.h"
#include "language/scfam.h"
#include "process/pc.h"

namespace {

constexpr uint32_t kPosFail = 102770;      // position cannot be compiled
constexpr uint32_t kNoAppCmpl = 102260;    // application not available to the compile
constexpr uint32_t kRefFail = 102970;      // field reference cannot be compiled
constexpr int kPosition = 56, kBlank = 9, kDisplay = 28;
constexpr int kDefine = 25;

bool ep_in(int ep, std::initializer_list<int> eps) {
  for (int e : eps)
    if (e == ep) return true;
  return false;
}

// A NOP in place of a statement that does not act at its event point.
int nop(ScCtx* sc, uint32_t preset) {
  if (bld_nop(sc_code(sc))) return 1;
  sc_err(sc, preset);
  return 0;
}

// Index kind 0 a constant, 1 a calculation variable of "0LA", 2 absent
// (only the kind's low byte counts: the statement text keeps a blank after it).
bool absent(const ScIndex& x) { return x.kind == 2; }
bool blank_app(const ScOpsImg& o) { return ut_is_all(o.field.app.data(), ' ', 3); }
bool blank_field(const ScOpsImg& o) { return ut_is_all(o.field.text.data(), ' ', 22); }

// The report flag of the attribute and display instructions: an Output
// process's statement outside a frame of class 14.
bool report_flag(const DStmt* st) { return st->proc_type == 3 && st->frame_class != 14; }

// A "0LA" calculation variable named by the two characters of an index
// value: its element and field index. The index is the variable's own data
// area (the one COMPUTE and the loops write), never a field sub-area of
// kind 2: those are private copies (STORE's) that the statement would read
// as they were initialised.
int var_0la(ScCtx* sc, uint16_t v, CElem* e, uint32_t* ira) {
  char name[3] = {char(v & 0xFF), char(v >> 8) == ' ' ? '\0' : char(v >> 8), '\0'};
  if (name[0] < 'A' || name[0] > 'Z') return 0;
  std::memset(static_cast<void*>(e), 0, sizeof *e);
  if (!sc_ref_0la(sc, name, e, 0)) return 0;
  *ira = e->ira;
  return *ira != 0;
}

// An index into address register reg: a constant (absent: 1) by LD_REG, a
// "0LA" variable by LD_REG 1 and the occurrence move of its type. *kind
// gets 0 constant, 1 binary, 2 packed. 1, or 0 when it does not compile.
int ld_index(ScCtx* sc, const ScIndex& x, int reg, uint16_t* kind) {
  IbCode* code = sc_code(sc);
  *kind = 0;
  if (x.kind != 1) {
    int32_t v = x.kind == 0 && x.v != 0 ? int32_t(x.v.get()) : 1;
    return bld_ld_reg(code, reg, v) ? 1 : 0;
  }
  CElem e;
  uint32_t ira = 0;
  if (!var_0la(sc, x.v, &e, &ira)) return 0;
  if (!bld_ld_reg(code, reg, 1)) return 0;
  if (e.e.type == 5) {
    *kind = 1;
    return bld_occ_bin(code, ira, reg, 1, 0) ? 1 : 0;
  }
  if (e.e.type == 12) {
    *kind = 2;
    return bld_occ_pd(code, ira, reg, 1, 0) ? 1 : 0;
  }
  return 0;
}

}  // namespace

int cmpl_ndx(ScCtx* sc, const ScIndex& x, int reg, uint16_t min, uint16_t max) {
  IbCode* code = sc_code(sc);
  if (x.kind == 2) return bld_ld_len(code, reg, min) ? 1 : 0;
  if (x.kind == 0) {
    uint16_t v = x.v;
    if (v < min || (max != 0 && v > max)) return 0;
    return bld_ld_len(code, reg, v) ? 1 : 0;
  }
  if (x.kind != 1) return 0;
  CElem e;
  uint32_t ira = 0;
  if (!var_0la(sc, x.v, &e, &ira)) return 0;
  if (e.e.type == 5) return bld_ld_len_bin(code, reg, ira, min, max) ? 1 : 0;
  if (e.e.type == 12) return bld_ld_len_pd_var(code, reg, ira, min, max) ? 1 : 0;
  return 0;
}

// ------------------------------------------------- AT FIELD, POSITION --
int cmpl_pos(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsImg>(st->ops.b);
  const uint32_t preset = sc_msg(sc);
  const bool pos = st->verb == kPosition;
  const int ep = st->event_point;
  if (pos ? !ep_in(ep, {41, 42, 43, 44, 24, 61, 62}) : ep != 43) return nop(sc, preset);
  const bool no_app = blank_app(o), no_fld = blank_field(o);
  const bool no1 = absent(o.idx1()), no2 = absent(o.idx2);
  bool ok;
  if (pos)
    ok = (no_app && no_fld && no1 && no2) || (!no_app && !no_fld);
  else
    ok = (no_fld && no1 && no2) || (!no_app && !no_fld && (no1 ? no2 : true));
  if (!ok) {
    sc_err(sc, preset);
    return 0;
  }
  IbCode* code = sc_code(sc);
  const uint8_t shift = sc_shift(sc);
  if (no_app) {
    if (bld_pos(code, nullptr, nullptr, false, false, pos, shift)) return 1;
    sc_err(sc, kPosFail);
    return 0;
  }
  char app[4] = {};
  std::memcpy(app, o.field.app.data(), 3);
  if (!pc_ap(app, sc_pc(sc))) {
    sc_err(sc, kNoAppCmpl);
    return 0;
  }
  if (no_fld) {
    if (bld_pos(code, app, nullptr, false, false, false, shift)) return 1;
    sc_err(sc, preset);
    return 0;
  }
  CElem e;
  std::memset(static_cast<void*>(&e), 0, sizeof e);
  int kind = 0;
  sc_msg(sc) = 0;
  if (!sc_cmpl_ref(sc, o.field, &e, 0, &kind, 0)) return sc_fail(sc, preset);
  const char* field = o.field.text.data();
  if (no1) {
    if (bld_pos(code, app, field, false, false, pos, shift)) return 1;
    sc_err(sc, kRefFail);
    return 0;
  }
  const uint16_t occurs = e.e.occurs ? uint16_t(e.e.occurs) : 1;
  if (!cmpl_ndx(sc, o.idx1(), 1, 1, occurs)) {
    sc_err(sc, kScBadOcc);
    return 0;
  }
  // A second index without a first is ignored (POSITION).
  if (no2) {
    if (bld_pos(code, app, field, true, false, pos, shift)) return 1;
    sc_err(sc, kScBadOcc);
    return 0;
  }
  if (cmpl_ndx(sc, o.idx2, 2, 1, 0) && bld_pos(code, app, field, true, true, pos, shift)) return 1;
  sc_err(sc, preset);
  return 0;
}

// ------------------------------------------- attribute and display verbs --
int cmpl_chr(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsImg>(st->ops.b);
  const uint32_t preset = sc_msg(sc);
  const int verb = st->verb;
  if (!ep_in(st->event_point, {41, 42, 43, 44, 24, 46, 61, 62})) return nop(sc, preset);
  const bool dspl = verb == kBlank || verb == kDisplay;
  const bool report = report_flag(st);
  auto none = [](const ScIndex& x) { return x.kind == 2 || (x.kind == 0 && x.v == 0); };
  const bool no1 = none(o.idx1()), no2 = none(o.idx2);
  IbCode* code = sc_code(sc);
  if (blank_app(o)) {
    if (!blank_field(o) || !no1 || !no2) {
      sc_err(sc, preset);
      return 0;
    }
    if (dspl ? bld_dspl_all(code, verb, report) : bld_chr_all(code, verb, report)) return 1;
    sc_err(sc, preset);
    return 0;
  }
  if (blank_field(o)) {
    sc_err(sc, preset);
    return 0;
  }
  CElem e;
  std::memset(static_cast<void*>(&e), 0, sizeof e);
  int kind = 0;
  sc_msg(sc) = 0;
  if (!sc_cmpl_ref(sc, o.field, &e, 0, &kind, 0)) {
    // A field of an application the process does not reach acts on nothing.
    if (sc_msg(sc) == kPcNoApp) return nop(sc, preset);
    return sc_fail(sc, preset);
  }
  const char* app = o.field.app.data();
  const char* field = o.field.text.data();
  if ((o.idx1().kind == 0 || o.idx1().kind == 2) && (o.idx2.kind == 0 || o.idx2.kind == 2)) {
    const uint32_t occ = no1 ? 1 : o.idx1().v.get(), ord = no2 ? 1 : o.idx2.v.get();
    if (dspl ? bld_dspl_def(code, verb, app, field, occ, ord, report)
             : bld_chr_def(code, verb, app, field, occ, ord, report))
      return 1;
    sc_err(sc, preset);
    return 0;
  }
  uint16_t k = 0;
  if (!ld_index(sc, o.idx1(), 1, &k) || !ld_index(sc, o.idx2, 2, &k)) {
    sc_err(sc, preset);
    return 0;
  }
  if (dspl ? bld_dspl_var(code, verb, app, field, report) : bld_chr_var(code, verb, app, field, report)) return 1;
  sc_err(sc, preset);
  return 0;
}

// ------------------------------------------------- DEFINE, UNDEFINE --
int cmpl_def(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsImg>(st->ops.b);
  const uint32_t preset = sc_msg(sc);
  if (!ep_in(st->event_point, {41, 42, 43, 44, 24, 61, 62})) return nop(sc, preset);
  const bool def = st->verb == kDefine;
  const bool no_app = blank_app(o), no_fld = blank_field(o);
  const bool no1 = absent(o.idx1()), no2 = absent(o.idx2);
  bool ok;
  if (def)
    ok = !no_app && !no_fld && !no1;
  else
    ok = no_app ? no_fld && no1 && no2 : no_fld ? no1 && no2 : (no1 ? no2 : true);
  if (!ok) {
    sc_err(sc, preset);
    return 0;
  }
  PcCtx* pc = sc_pc(sc);
  IbCode* code = sc_code(sc);
  char app[4] = {};
  std::memcpy(app, o.field.app.data(), 3);
  if (!no_app && !pc_ap(app, pc)) {
    sc_err(sc, kNoAppCmpl);
    return 0;
  }
  if (!no_fld) {
    CElem e;
    std::memset(static_cast<void*>(&e), 0, sizeof e);
    int kind = 0;
    sc_msg(sc) = 0;
    if (!sc_cmpl_ref(sc, o.field, &e, 0, &kind, 0)) return sc_fail(sc, preset);
  }
  const char* a = no_app ? nullptr : o.field.app.data();
  const char* f = no_fld ? nullptr : o.field.text.data();
  uint16_t occ_kind = 0, no_kind = 0;
  if (!def) {
    uint8_t mode = no_app ? 0 : no_fld ? 1 : no1 ? 2 : no2 ? 3 : 4;
    if ((!no1 && !ld_index(sc, o.idx1(), 1, &occ_kind)) || (!no2 && !ld_index(sc, o.idx2, 2, &no_kind)) ||
        !bld_undef(code, a, f, mode)) {
      sc_err(sc, preset);
      return 0;
    }
    return 1;
  }
  // The DEFINE work record of "0LA" holds the item's place, size and options.
  EmCap* la = pc_ap("0LA", pc);
  EmCfi cfi;
  if (!la || !pc_fi(la, "DEFINE  ", &cfi, pc) || !cfi.rec_ira) {
    sc_err(sc, preset);
    return 0;
  }
  const uint8_t shift = sc_shift(sc);
  if (!ld_index(sc, o.idx1(), 1, &occ_kind)) {
    sc_err(sc, preset);
    return 0;
  }
  if (!no2) {
    if (!ld_index(sc, o.idx2, 2, &no_kind) || !bld_def_detach(code, a, f, shift)) {
      sc_err(sc, preset);
      return 0;
    }
  } else if (!bld_def_add_app(code)) {
    sc_err(sc, preset);
    return 0;
  }
  if (bld_def_attach(code, a, f, shift, cfi.rec_ira, occ_kind, no_kind)) return 1;
  sc_err(sc, preset);
  return 0;
}

// ------------------------------------------------------------ messages --
int cmpl_msg(ScCtx* sc, DStmt* st) {
  const uint32_t preset = sc_msg(sc);
  const char* text = reinterpret_cast<const char*>(st->ops.b);
  const bool refresh = st->verb == 104;
  uint32_t kind = 0;
  switch (st->verb) {
    case 14: kind = kMsgCancel; break;
    case 34: kind = kMsgError; break;
    case 83: kind = kMsgWarning; break;
    default: kind = kMsgMessage; break;
  }
  IbCode* code = sc_code(sc);
  if (std::memcmp(text, "TEMP", 4) == 0) {
    // The text of a TEMP work field of "0LA", its address in register 1.
    ScOpnd op;
    std::memset(static_cast<void*>(&op), ' ', sizeof op);
    op.occ = 0;
    op.occ_mode = 0;
    op.app.set("0LA");
    std::memcpy(op.text.data(), text, 22);
    CElem e;
    std::memset(static_cast<void*>(&e), 0, sizeof e);
    int k = 0;
    sc_msg(sc) = 0;
    if (!sc_cmpl_ref(sc, op, &e, 1, &k, 0)) {
      sc_err(sc, preset);
      return 0;
    }
    uint16_t len = e.e.length;
    if (refresh ? bld_refresh(code, 0, len, true) : bld_msg(code, 0, len, kind, true)) return 1;
    sc_err(sc, preset);
    return 0;
  }
  size_t n = ut_buflen(text, 64);
  // REFRESH without a text redraws without a message.
  if (refresh && n == 0) {
    if (bld_refresh(code, 0, 0, true)) return 1;
    sc_err(sc, preset);
    return 0;
  }
  char blank = ' ';
  uint32_t cnst = sc_put_cnst(sc_pc(sc)->em, n ? text : &blank, uint16_t(n ? n : 1), 0);
  if (!cnst) {
    sc_err(sc, preset);
    return 0;
  }
  uint16_t len = uint16_t(n ? n : 1);
  if (refresh ? bld_refresh(code, cnst, len, false) : bld_msg(code, cnst, len, kind, false)) return 1;
  sc_err(sc, preset);
  return 0;
}
