// Conversion statements compiled: CNV BIN between a short alpha field and a
// number.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "language/ibcnv.h"
#include "language/ibutil.h"
#include "files/fm.h"
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
  auto ref_fail = [&] { return sc_fail(sc, preset); };
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

void sc_file_fields(FmArb* el, const char* file, std::vector<std::array<char, 22>>* out) {
  PcBuf<DElem> e_buf;
  DElem& e = *e_buf;
  PROTO_FULL(el, 2, e_buf.bytes());
  PcBuf<uint8_t> key(16);
  std::memcpy(key.bytes(), file, 8);
  el->key.set(key.bytes());
  el->key_len = 8;
  el->op = uint16_t(FM_OP_AT | FM_OP_KEY);
  int started = fm_start(el);
  el->op = 0;
  el->key.reset();
  el->key_len = 0;
  while (started && fm_rdnxt(el)) {
    if (std::memcmp(e.file.data(), file, 8) != 0) break;
    if (e.kind >= 2 && e.kind <= 5) continue;
    std::array<char, 22> n;
    std::memcpy(n.data(), e.name.data(), 22);
    out->push_back(n);
  }
}

namespace {

// The names of the data fields of a file (not groups, substrings or
// synonyms), in the order of its fields; false when the application's
// ELEMENT dictionary does not open.
bool file_fields(ScCtx* sc, const char* app, const char* file, std::vector<std::array<char, 22>>* out) {
  PcCtx* pc = sc_pc(sc);
  EmCap* cap = pc_ap(app, pc);
  if (!cap) return false;
  FmArb* el = pc_open_src(pc, cap, kSrcElem);
  if (!el) return false;
  sc_file_fields(el, file, out);
  return true;
}

// CNV TEXT of a file's fields and one text field (`text_op`, its element
// `text`): each field converted at the running offset of the text, a
// separator after each. Direction 1: the fields into the text.
int cnv_text_file(ScCtx* sc, const ScOpnd& file_op, const ScOpnd& text_op, const CElem& text, int direction,
                  uint32_t preset) {
  char app[4] = {}, file[9] = {};
  std::memcpy(app, file_op.app.data(), 3);
  std::memcpy(file, file_op.text.data(), 8);
  std::vector<std::array<char, 22>> names;
  if (!file_fields(sc, app, file, &names)) {
    sc_err(sc, kPcNoElemFile);
    return 0;
  }
  // Neither a field nor a file with fields.
  if (names.empty()) {
    sc_err(sc, kPcNoField);
    return 0;
  }
  if ((text.e.type != 1 && text.e.type != 2) || !text.e.mask.blank()) {
    sc_err(sc, preset);
    return 0;
  }
  uint32_t offset = 0;
  int kind = 0;
  for (const auto& n : names) {
    ScOpnd f;
    std::memset(static_cast<void*>(&f), ' ', sizeof f);
    f.occ = 0;
    f.occ_mode = 0;
    std::memcpy(f.app.data(), app, 3);
    std::memcpy(f.text.data(), n.data(), 22);
    CElem fe, te;
    std::memset(static_cast<void*>(&fe), 0, sizeof fe);
    std::memset(static_cast<void*>(&te), 0, sizeof te);
    int freg = direction ? 2 : 1, treg = direction ? 1 : 2;
    if (!sc_cmpl_ref(sc, f, &fe, freg, &kind, direction ? 0u : uint32_t(kScRefTarget)) ||
        !sc_cmpl_ref(sc, text_op, &te, treg, &kind, direction ? uint32_t(kScRefTarget) : 0u)) {
      return sc_fail(sc, preset);
    }
    CvBlock blk;
    if (!cv_get_cnv(&blk, &fe.e, app, "00")) {
      sc_err(sc, preset);
      return 0;
    }
    uint32_t width = blk.item->ext_len;
    if (offset + width > text.e.length) {
      sc_err(sc, 100690);
      return 0;
    }
    uint16_t occurs = fe.e.occurs ? uint16_t(fe.e.occurs) : 1;
    uint32_t len = uint32_t(fe.e.length) * occurs;
    char n1[23] = {}, n2[23] = {};
    std::memcpy(n1, (direction ? text_op.text : f.text).data(), 22);
    std::memcpy(n2, (direction ? f.text : text_op.text).data(), 22);
    if ((offset && !bld_offset_reg(sc_code(sc), treg, offset)) || len > 255 ||
        !bld_cnv_text(sc_code(sc), sc_shift(sc), *blk.item, uint8_t(len), 0, direction, false, n1, n2)) {
      sc_err(sc, preset);
      return 0;
    }
    offset += width + 1;
  }
  return 1;
}

}  // namespace

// CNV TEXT of two fields: an alpha target takes the source's displayed text
// (direction 1), any other target is read from the alpha source's text
// (direction 0); the number field's conversion item describes both.
// All occurrences: the target, else the source, given without an occurrence
// (or with occurrence 0) and having more than one, is counted (occurrence mode 1 or 2), and one
// instruction converts each of its occurrences with the other operand's
// value at the same step: that operand's own occurrences when it has as
// many (when it has fewer, only as many are converted), else a single text
// holds the texts side by side (it must be long enough: 100690), and a
// single field is the one value of every text.
int cmpl_cnv_text(ScCtx* sc, DStmt* st) {
  const auto& ops = rec::view<ScOpsTwo>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  auto fail = [&](uint32_t m) {
    sc_err(sc, m ? m : preset);
    return 0;
  };
  if (ut_is_all(ops.op1.app.data(), ' ', 3) || ut_is_all(ops.op2.app.data(), ' ', 3)) return fail(kScNoTarget);
  CElem t, s;
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  std::memset(static_cast<void*>(&s), 0, sizeof s);
  int kind = 0;
  auto ref_fail = [&] { return sc_fail(sc, preset); };
  // One operand may name a file of its application: its fields in turn.
  if (!sc_cmpl_ref(sc, ops.op1, &t, 1, &kind, kScRefTarget)) {
    if (sc_msg(sc) != kPcNoField || !sc_cmpl_ref(sc, ops.op2, &s, 2, &kind, 0)) return ref_fail();
    return cnv_text_file(sc, ops.op1, ops.op2, s, 0, preset);
  }
  if (!sc_cmpl_ref(sc, ops.op2, &s, 2, &kind, 0)) {
    if (sc_msg(sc) != kPcNoField || !is_alpha(t.e.type)) return ref_fail();
    return cnv_text_file(sc, ops.op2, ops.op1, t, 1, preset);
  }
  int direction = is_alpha(t.e.type) ? 1 : 0;
  const CElem& text = direction ? t : s;
  const CElem& field = direction ? s : t;
  // The text side is a plain alpha field, without an edit mask.
  if ((text.e.type != 1 && text.e.type != 2) || !text.e.mask.blank()) return fail(preset);
  CvBlock blk;
  char app[4] = {}, ver[3] = {};
  const ScOpnd& fop = direction ? ops.op2 : ops.op1;
  std::memcpy(app, fop.app.data(), 3);
  std::memcpy(ver, "00", 2);
  if (!cv_get_cnv(&blk, &field.e, app, ver)) return fail(preset);
  auto count = [](const ScOpnd& o, const CElem& c) {
    bool whole = (o.occ_mode == 0 && o.occ == 0) || o.occ_mode == 2;  // no occurrence given
    return whole && c.e.occurs > 1 ? uint32_t(c.e.occurs) : 0u;
  };
  uint32_t n1c = count(ops.op1, t), n2c = count(ops.op2, s);
  int mode = n1c ? 1 : n2c ? 2 : 0;
  const CElem& counted = mode == 2 ? s : t;
  uint32_t elem = mode ? counted.e.length : field.e.length;
  if (elem > 255) return fail(preset);
  // Each text holds the field's display width: a shorter text field (or
  // text occurrence) would be written or read past its end.
  uint32_t width = blk.item->ext_len;
  if (!mode && width > text.e.length) return fail(100690);
  if (mode && &counted == &text && width > elem) return fail(100690);
  if (mode && &counted != &text && n2c && n1c && width > text.e.length) return fail(100690);
  if (mode) {
    const CElem& other = mode == 1 ? s : t;
    uint32_t n = mode == 1 ? n1c : n2c, other_n = mode == 1 ? n2c : 0;
    if (other_n) n = std::min(n, other_n);
    uint32_t step = 0;
    if (other_n) {
      step = other.e.length;
    } else if (&other == &text) {
      step = blk.item->ext_len;
      if (step * n > text.e.length) return fail(100690);
    }
    if (elem * n > 65535 || step * n > 65535 || !bld_ld_len(sc_code(sc), mode, uint16_t(elem * n)) ||
        !bld_ld_len(sc_code(sc), 3 - mode, uint16_t(step * n)))
      return fail(preset);
  }
  char n1[23] = {}, n2[23] = {};
  std::memcpy(n1, ops.op1.text.data(), 22);
  std::memcpy(n2, ops.op2.text.data(), 22);
  if (!bld_cnv_text(sc_code(sc), sc_shift(sc), *blk.item, uint8_t(elem), mode, direction, false, n1, n2))
    return fail(preset);
  return 1;
}
