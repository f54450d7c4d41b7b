// Conversion statements compiled: CNV BIN between a short alpha field and a
// number.
#include <cstring>

#include "language/ibcnv.h"
#include "language/ibutil.h"
#include "language/scfam.h"
#include "process/pc.h"

namespace {

bool is_num(uint8_t t) { return t == 5 || t == 8 || t == 12; }
bool is_alpha(uint8_t t) { return t == 1 || t == 2 || t == 13; }
IbCnvOp cnv_op(const DElem& e) { return IbCnvOp{e.type, uint8_t(e.length), uint8_t(e.type == 12 ? 0 : e.decimals)}; }

// The number of a constant operand's 22 characters: blanks, a sign before
// or after the digits, the digits. 0 with the message when it is none.
uint32_t parse_value(const char* text, uint32_t* value) {
  int i = 0, n = 22;
  bool neg = false, sign = false;
  auto blanks = [&] {
    while (i < n && text[i] == ' ') ++i;
  };
  blanks();
  if (i < n && (text[i] == '-' || text[i] == '+')) {
    sign = true;
    neg = text[i++] == '-';
    blanks();
  }
  uint64_t v = 0;
  int digits = 0;
  bool big = false;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    v = v * 10 + uint64_t(text[i] - '0');
    if (v > 0xFFFFFFFFull) big = true, v = 0xFFFFFFFFull + 1;
  }
  blanks();
  if (!sign && i < n && (text[i] == '-' || text[i] == '+')) {
    neg = text[i++] == '-';
    blanks();
  }
  if (digits == 0 || i < n) return 102320;
  if (neg) {
    if (big || v > 0x80000000ull) return 102320;
    *value = uint32_t(-int64_t(v));
    return 0;
  }
  if (big) return 200120;
  *value = uint32_t(v);
  return 0;
}

}  // namespace

int cmpl_cnv_bin(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  auto fail = [&](uint32_t m) {
    sc_err(sc, m ? m : preset);
    return 0;
  };
  auto ref_fail = [&] {
    uint32_t m = sc_msg(sc);
    return fail(m && m != preset ? m : preset);
  };
  CElem t, s;
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  std::memset(static_cast<void*>(&s), 0, sizeof s);
  int kind = 0;
  if (!sc_cmpl_ref(sc, ops.op1, &t, 1, &kind, kScRefTarget)) return ref_fail();
  bool is_const = ut_is_all(ops.op2.app.data(), ' ', 3);
  IbCnvOp target = cnv_op(t.e), source;
  uint32_t value = 0;
  if (is_num(t.e.type)) {
    if (is_const) {
      // The constant's own characters, as stored.
      int n = 22;
      while (n > 0 && ops.op2.text.data()[n - 1] == ' ') --n;
      if (n > 4) return fail(102250);
      s.e = t.e;  // an element of the constant's own: alpha, n bytes
      s.e.type = 1;
      s.e.length = uint16_t(n ? n : 1);
      s.e.occurs = 1;
      s.e.decimals = 0;
      if (!sc_cmpl_cnst(sc, ops.op2.text.data(), n, &s, true) || !bld_cnst(sc_code(sc), s.ira, 2)) return ref_fail();
      source = IbCnvOp{1, uint8_t(n ? n : 1), 0};
    } else {
      if (!sc_cmpl_ref(sc, ops.op2, &s, 2, &kind, 0)) return ref_fail();
      if (!is_alpha(s.e.type)) return fail(102660);
      if (s.e.length > 4) return fail(102250);
      source = cnv_op(s.e);
    }
  } else if (is_alpha(t.e.type)) {
    if (is_const) {
      if (uint32_t m = parse_value(ops.op2.text.data(), &value)) return fail(m);
      source = IbCnvOp{5, 4, 0};
    } else {
      if (!sc_cmpl_ref(sc, ops.op2, &s, 2, &kind, 0)) return ref_fail();
      if (!is_num(s.e.type)) return fail(102660);
      source = cnv_op(s.e);
    }
  } else {
    return fail(102660);
  }
  if (!bld_cnv_bin(sc_code(sc), target, source, is_const, value, nullptr)) return fail(102660);
  return 1;
}
