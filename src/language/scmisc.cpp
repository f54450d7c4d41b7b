// Miscellaneous statements compiled: VERIFY of one field, COPY (the
// Subroutine's statements inline, its CLIB record), TRAP and PRINT.
//
// Decision: the Subroutines being copied are kept on a stack of the
// compile (unwound with it) rather than in a RECURSE work file; a name on
// it is a recursive COPY.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/ut.h"

#include "language/ibmisc.h"
#include "language/ibutil.h"
#include "language/scfam.h"
#include "process/pc.h"

namespace {
bool is_date(uint8_t t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }
std::string trimmed(const char* p, size_t n) {
  std::string s(p, n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}
}  // namespace

namespace {

// One dictionary condition of a field as a generated test statement: the
// field against the value as a constant of its form, under the VERIFY's
// column. The first is an IF, the others AND, the closing one OR.
int bld_dd_if(ScCtx* sc, const DStmt* st, const ScOpnd& field, const char* value, uint8_t rel, int verb) {
  DStmt g = *st;
  g.verb = uint16_t(verb);
  auto& o = rec::view<ScOpsTwo>(g.ops.b);
  std::memset(g.ops.b, ' ', sizeof g.ops.b);
  o.op1 = field;
  o.op2.occ = 0;
  o.op2.occ_mode = 0;
  std::memcpy(o.op2.text.data(), value, 22);
  o.rel = rel;
  sc_msg(sc) = 101570;
  return cmpl_if_and_or(sc, &g);
}

// The element's conditions (range codes and values, then the low and high
// bounds), skipping those without an operator (255) or with a blank value.
// 1 when any was built (*built), 0 after a failure.
int dd_conditions(ScCtx* sc, const DStmt* st, const ScOpnd& field, const DElem& e, bool* built) {
  struct Cond {
    uint8_t rel;
    const char* value;
  } conds[] = {{e.rng_code1, e.rng_value1.data()},
               {e.rng_code2, e.rng_value2.data()},
               {e.low_given, e.low.data()},
               {e.high_given, e.high.data()}};
  int n = 0;
  for (const Cond& c : conds) {
    if (c.rel == 255 || ut_is_all(c.value, ' ', 30) || ut_is_all(c.value, '\0', 30)) continue;
    char v[22];
    std::memcpy(v, c.value, 22);
    if (!bld_dd_if(sc, st, field, v, c.rel, n == 0 ? 38 : 3)) return 0;
    ++n;
  }
  if (n) {
    char blank[22];
    std::memset(blank, ' ', sizeof blank);
    if (!bld_dd_if(sc, st, field, blank, 1, 52)) return 0;
  }
  *built = n > 0;
  return 1;
}

int verify_field(ScCtx* sc, DStmt* st, const ScOpnd& op, uint8_t mode, uint32_t preset) {
  if (ut_is_all(op.app.data(), ' ', 3)) {
    sc_err(sc, kScNoTarget);
    return 0;
  }
  CElem f;
  std::memset(static_cast<void*>(&f), 0, sizeof f);
  int kind = 0;
  if (!sc_cmpl_ref(sc, op, &f, 1, &kind, 0)) {
    return sc_fail(sc, preset);
  }
  const DElem& e = f.e;
  bool conds = false;
  if (!dd_conditions(sc, st, op, e, &conds)) return 0;
  // The conditions' tests load their own operands: the field again.
  if (conds && !sc_cmpl_ref(sc, op, &f, 1, &kind, 0)) return sc_fail(sc, preset);
  std::string name = trimmed(e.name.data(), 22), token = trimmed(e.domain.data(), 22);
  std::string mask = trimmed(e.mask.data(), 60);
  IbVfyField v;
  v.type = e.type;
  v.len = e.length;
  v.digits = e.digits;
  v.decimals = e.decimals;
  v.name = name.c_str();
  v.token = e.type == 5 && e.token_mark.get() != 0 ? token.c_str() : "";
  v.is_signed = e.sign == '1';
  v.date_mask = is_date(e.type) && !mask.empty() ? mask.c_str() : nullptr;
  char app[4] = {};
  std::memcpy(app, op.app.data(), 3);
  if (!bld_vfy(sc_code(sc), v, mode, app, conds, sc_shift(sc))) {
    sc_err(sc, preset);
    return 0;
  }
  return 1;
}

// Every data field of a file (not a group, substring or synonym), in the
// order of the file's fields.
int verify_file(ScCtx* sc, DStmt* st, const ScOpnd& op, uint8_t mode, uint32_t preset) {
  PcCtx* pc = sc_pc(sc);
  char app[4] = {};
  std::memcpy(app, op.app.data(), 3);
  EmCap* cap = pc_ap(app, pc);
  if (!cap) {
    sc_err(sc, kPcNoApp);
    return 0;
  }
  FmArb* el = pc_open_src(pc, cap, kSrcElem);
  if (!el) {
    sc_err(sc, kPcNoElemFile);
    return 0;
  }
  char file[8];
  std::memcpy(file, op.text.data(), 8);
  // The file's fields first (by key 2, file and number), compiled after.
  std::vector<std::array<char, 22>> names;
  sc_file_fields(el, file, &names);
  int ok = 1;
  for (const auto& n : names) {
    ScOpnd f;
    std::memset(static_cast<void*>(&f), ' ', sizeof f);
    f.occ = 0;
    f.occ_mode = 0;
    std::memcpy(f.app.data(), app, 3);
    std::memcpy(f.text.data(), n.data(), 22);
    if (!verify_field(sc, st, f, mode, preset)) ok = 0;
  }
  return ok;
}

}  // namespace

// The field into register 1, its dictionary conditions as tests, and the
// check of its stored form by type; the statement's truth level says
// whether it held. Kind 3: every data field of a file.
int cmpl_verify(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsVfy>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  if (ops.fail > 3) {
    sc_err(sc, 102630);
    return 0;
  }
  ScOpnd op = ops.op;
  uint8_t mode = ops.fail;
  if (ops.kind == 3) return verify_file(sc, st, op, mode, preset);
  return verify_field(sc, st, op, mode, preset);
}

// ----------------------------------------------------------------- COPY --
namespace {

constexpr uint32_t kCopyErr = 101180;
constexpr size_t kCopyNest = 50;

// The Subroutines being copied, outermost first (application and name).
std::vector<std::string>& copying() {
  static std::vector<std::string> v;
  return v;
}
struct CopyGuard {
  explicit CopyGuard(std::string k) { copying().push_back(std::move(k)); }
  ~CopyGuard() { copying().pop_back(); }
  CopyGuard(const CopyGuard&) = delete;
  CopyGuard& operator=(const CopyGuard&) = delete;
};

uint32_t g_clib_number = 0;   // running number of CLIB records, one counter of the engine

// An empty COPY block (no statements).
int empty_copy(ScCtx* sc) {
  IbCode* code = sc_code(sc);
  uint8_t* p = bld_copy(code);
  if (!p) return 0;
  CodeRef at = sc_ref_of(sc, p);
  if (!bld_end_copy(code)) return 0;
  sc_patch(sc, at, ib_here(code));
  return 1;
}

}  // namespace

int sc_copy_guts(ScCtx* sc, const char* app, const char* name, bool quiet) {
  auto fail = [&] {
    if (!quiet) sc_err(sc, kCopyErr);
    return 0;
  };
  std::string key(app, 3);
  key.append(name, 30);
  if (copying().size() >= kCopyNest) return fail();
  for (const std::string& k : copying())
    if (k == key) return fail();
  CopyGuard guard(key);
  PcCtx* pc = sc_pc(sc);
  EmHeader* em = pc->em;
  char app_z[4] = {};
  std::memcpy(app_z, app, 3);
  pc->em->status = 0;
  EmCap* cap = pc_ap(app_z, pc);
  if (!cap) return empty_copy(sc);
  // The module's CLIB record of the Subroutine, made on its first COPY.
  FmArb* clib = em->clib.get();
  if (!clib) return fail();
  PcBuf<EmClib> r_buf;
  EmClib& r = *r_buf;
  std::memcpy(r.app.data(), app, 3);
  std::memcpy(r.name.data(), name, 30);
  PROTO_FULL(clib, 1, r_buf.bytes());
  if (!fm_read(clib)) {
    FmArb* procs = pc_open_src(pc, cap, kSrcProc);
    std::memcpy(r.app.data(), app, 3);
    std::memcpy(r.name.data(), name, 30);
    if (!procs) {
      rec::view<rec::U32>(r.stamp.b) = 0xFFFFFFFFu;
      rec::view<rec::U32>(r.stamp.b + 4) = 0;
    } else {
      PcBuf<DProc> d_buf;
      DProc& d = *d_buf;
      d.proc_type = 6;
      std::memcpy(d.proc_name.data(), name, 30);
      PROTO_FULL(procs, 0, d_buf.bytes());
      if (!fm_read(procs)) return fail();
      std::memcpy(r.stamp.b, d.changed.b, 8);
    }
    r.number = g_clib_number++;
    PROTO_FULL(clib, 0, r_buf.bytes());
    if (!fm_write(clib)) {
      checkstat(clib->status, "can't write clib", "SCMISC.C", __LINE__);
      return fail();
    }
    if (!procs) return empty_copy(sc);
  } else if (rec::view<rec::U32>(r.stamp.b) == 0xFFFFFFFFu) {
    return empty_copy(sc);
  }
  FmArb* stmts = pc_stmt_file(pc, cap, 6, name);
  if (!stmts) return fail();
  IbCode* code = sc_code(sc);
  uint8_t* p = bld_copy(code);
  if (!p) return fail();
  CodeRef at = sc_ref_of(sc, p);
  uint8_t prefix[36];
  std::memset(prefix, 0, sizeof prefix);
  prefix[0] = 6;
  std::memcpy(prefix + 1, name, 30);
  uint32_t errors = pc->errors;
  sc_cmpl_copy(sc, stmts, prefix, 36, uint16_t(r.number.get()));
  // The body's own errors are recorded; the COPY then fails silently.
  if (pc->errors != errors) return 0;
  sc_tf_restate(sc);
  if (!bld_end_copy(code)) return fail();
  sc_patch(sc, at, ib_here(code));
  return 1;
}

int cmpl_copy(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsGosub>(st->ops.b);
  return sc_copy_guts(sc, ops.app.data(), ops.label.data(), false);
}

// ----------------------------------------------------------- TRAP, PRINT --
int cmpl_trap(ScCtx* sc, DStmt*) {
  if (bld_trap(sc_code(sc))) return 1;
  sc_err(sc, 101800);
  return 0;
}

namespace {
// A PRINT number into length register reg: a constant, a calculation
// variable of "0LA" (binary or variable packed, no bounds), or the default.
int print_len(ScCtx* sc, const ScLenVal& v, int reg, uint16_t dflt) {
  // The statement keeps the kind in the number's third byte; the fourth is
  // the statement's own (a blank as the editor stores it).
  uint8_t kind = uint8_t(v.flag.get() & 0xFF);
  if (kind != 0 && kind != 1) return bld_ld_len(sc_code(sc), reg, dflt) ? 1 : 0;
  ScIndex x{};
  x.v = v.v.get();
  x.kind = kind;
  return cmpl_ndx(sc, x, reg, 0, 0);
}
}  // namespace

// PRINT prints at Start of Frame (21) only; elsewhere a no-operation.
int cmpl_print(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsPrint>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  if (st->event_point != 21) {
    if (bld_nop(sc_code(sc))) return 1;
    sc_err(sc, preset);
    return 0;
  }
  CElem t;
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  int kind = 0;
  bool cnst = ut_is_all(ops.text.app.data(), ' ', 3);
  if (!sc_cmpl_ref(sc, ops.text, &t, 1, &kind, cnst ? uint32_t(kScRefCnstLen) : 0u)) {
    return sc_fail(sc, preset);
  }
  uint16_t len = t.e.length;
  if (!print_len(sc, ops.first, 2, 1) || !print_len(sc, ops.rows, 3, 1) || !print_len(sc, ops.width, 4, len) ||
      !bld_print(sc_code(sc), len)) {
    sc_err(sc, preset);
    return 0;
  }
  return 1;
}
