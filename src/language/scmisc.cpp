// Miscellaneous statements compiled: VERIFY of one field.
#include <cstring>

#include "language/ibmisc.h"
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

// The field into register 1 and the check of its stored form by type; the
// statement's truth level says whether it held.
int cmpl_verify(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsVfy>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  if (ops.fail > 3) {
    sc_err(sc, 102630);
    return 0;
  }
  // (The fields of a whole file are not compiled yet.)
  if (ops.kind != 1) {
    sc_err(sc, preset);
    return 0;
  }
  if (ut_is_all(ops.op.app.data(), ' ', 3)) {
    sc_err(sc, kScNoTarget);
    return 0;
  }
  CElem f;
  std::memset(static_cast<void*>(&f), 0, sizeof f);
  int kind = 0;
  if (!sc_cmpl_ref(sc, ops.op, &f, 1, &kind, 0)) {
    uint32_t m = sc_msg(sc);
    sc_err(sc, m && m != preset ? m : preset);
    return 0;
  }
  const DElem& e = f.e;
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
  std::memcpy(app, ops.op.app.data(), 3);
  if (!bld_vfy(sc_code(sc), v, ops.fail, app, false, sc_shift(sc))) {
    sc_err(sc, preset);
    return 0;
  }
  return 1;
}
