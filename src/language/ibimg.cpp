// Builders of the image, dynamic-item and message statements: see ibimg.h.
#include "language/ibimg.h"

#include <cstring>

#include "foundation/os.h"
#include "language/ibutil.h"

namespace {

constexpr const char* kMod = "IBIMG.C";

uint8_t* sys_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
  return nullptr;
}

// Copies n bytes of a name operand, blanks for none.
void put_name(char* to, const char* from, size_t n) {
  if (from)
    std::memcpy(to, from, n);
  else
    std::memset(to, ' ', n);
}

// An instruction's application and field name.
template <class T>
void put_ref(T& in, const char* app, const char* field) {
  put_name(in.app.data(), app, 3);
  put_name(in.field.data(), field, 22);
}

bool is_dspl(int verb) { return verb == 9 || verb == 28; }

}  // namespace

void ib_img_define_ops() {
  static const char* const kLd[4][2] = {{"RLOC_LD_REG_1", "INST_LD_REG_1"},
                                        {"RLOC_LD_REG_2", "INST_LD_REG_2"},
                                        {"RLOC_LD_REG_3", "INST_LD_REG_3"},
                                        {"RLOC_LD_REG_4", "INST_LD_REG_4"}};
  for (int r = 0; r < 4; ++r)
    ib_define_op(uint16_t(kIbLdReg1 + 2 * r), IbOpDef{kLd[r][0], 8, IbLen::Fixed, 0, 0, {}}, kLd[r][1]);
  // The DEFINE record's field index is relocated by its own handler, which
  // first looks at the go-ahead flag.
  ib_define_op(kIbDefine, IbOpDef{"RLOC_DEF_ATTACH", 40, IbLen::Fixed, 0, 1, {IbOperand{32, IbOpnd::Ira, 0}}},
               "INST_DEF_ATTACH");
}

uint8_t* bld_pos(IbCode* code, const char* app, const char* field, bool has1, bool has2, bool pos, uint8_t shift) {
  uint16_t op;
  if (!app) {
    if (has1 || has2 || field) return nullptr;
    op = pos ? 610 : 600;
  } else if (!field) {
    if (pos || has1 || has2) return nullptr;
    op = 602;
  } else if (!has1) {
    if (has2) return nullptr;
    op = pos ? 646 : 604;
  } else if (!has2) {
    op = pos ? 648 : 606;
  } else {
    op = pos ? 612 : 608;
  }
  uint8_t* p = ib_put(code, op);
  if (!p) return nullptr;
  auto& in = rec::view<IbPos>(p);
  put_ref(in, app, field);
  in.shift = shift;
  return p;
}

bool bld_msks(int verb, IbMsks* m) {
  switch (verb) {
    case 10: *m = {0x200, 0x200, 0x40}; return true;             // BLINK
    case 11: *m = {0x40, 0x40, 0x200}; return true;              // BRIGHT
    case 27: *m = {0, 0x40, 0x200}; return true;                 // DIM
    case 41: *m = {0x80, 0x80, 0}; return true;                  // INVERSE
    case 49: *m = {0xFFFFFF7Fu, 0x80, 0}; return true;           // NORMAL
    case 81: *m = {0x100, 0x100, 0}; return true;                // ULINE
    case 48: *m = {0xFFFFFEFFu, 0x100, 0}; return true;          // NO ULINE
    case 50: *m = {0x1045, 0x1045, 0}; return true;              // OK INPUT
    case 46: *m = {0xFFFFEFBAu, 0x1045, 0}; return true;         // NO INPUT
    case 94: *m = {0x100000, 0x100000, 0}; return true;          // PICTURE
    case 92: case 93: case 95: *m = {0, 0, 0}; return true;      // FONT, COLOR, BROWSE
    default:
      sys_err(__LINE__, "ibimg.c, bld_msks entered default in switch");
      return false;
  }
}

uint8_t* bld_chr_all(IbCode* code, int verb, bool report) {
  IbMsks m;
  if (!bld_msks(verb, &m)) return nullptr;
  uint8_t* p = ib_put(code, 616);
  if (!p) return nullptr;
  auto& in = rec::view<IbChrAll>(p);
  in.value = m.value;
  in.select = m.select;
  in.inherit = m.inherit;
  in.report = report ? 1 : 0;
  in.verb = uint16_t(verb);
  return p;
}

uint8_t* bld_chr_def(IbCode* code, int verb, const char* app, const char* field, uint32_t occ, uint32_t ordinal,
                     bool report) {
  IbMsks m;
  if (!bld_msks(verb, &m)) return nullptr;
  uint8_t* p = ib_put(code, 618);
  if (!p) return nullptr;
  auto& in = rec::view<IbChrDef>(p);
  put_ref(in, app, field);
  in.occ = occ;
  in.ordinal = ordinal;
  in.value = m.value;
  in.select = m.select;
  in.inherit = m.inherit;
  in.report = report ? 1 : 0;
  in.verb = uint16_t(verb);
  return p;
}

uint8_t* bld_chr_var(IbCode* code, int verb, const char* app, const char* field, bool report) {
  IbMsks m;
  if (!bld_msks(verb, &m)) return nullptr;
  uint8_t* p = ib_put(code, 614);
  if (!p) return nullptr;
  auto& in = rec::view<IbChrVar>(p);
  put_ref(in, app, field);
  in.value = m.value;
  in.select = m.select;
  in.inherit = m.inherit;
  in.report = report ? 1 : 0;
  in.verb = uint16_t(verb);
  return p;
}

uint8_t* bld_dspl_all(IbCode* code, int verb, bool report) {
  if (!is_dspl(verb)) return nullptr;
  uint8_t* p = ib_put(code, 622);
  if (!p) return nullptr;
  rec::view<IbDsplAll>(p).blank = verb == 9 ? 1 : 0;
  rec::view<IbDsplAll>(p).report = report ? 1 : 0;
  return p;
}

uint8_t* bld_dspl_def(IbCode* code, int verb, const char* app, const char* field, uint32_t occ, uint32_t ordinal,
                      bool report) {
  if (!is_dspl(verb)) return nullptr;
  uint8_t* p = ib_put(code, 624);
  if (!p) return nullptr;
  auto& in = rec::view<IbDsplDef>(p);
  put_ref(in, app, field);
  in.occ = occ;
  in.ordinal = ordinal;
  in.blank = verb == 9 ? 1 : 0;
  in.report = report ? 1 : 0;
  return p;
}

uint8_t* bld_dspl_var(IbCode* code, int verb, const char* app, const char* field, bool report) {
  if (!is_dspl(verb)) return nullptr;
  uint8_t* p = ib_put(code, 620);
  if (!p) return nullptr;
  auto& in = rec::view<IbDsplVar>(p);
  in.blank = verb == 9 ? 1 : 0;
  put_ref(in, app, field);
  in.report = report ? 1 : 0;
  return p;
}

uint8_t* bld_ld_reg(IbCode* code, int reg, int32_t value) {
  if (reg < 1 || reg > 4) return sys_err(__LINE__, "ibimg.c, bld_ld_reg entered default in switch");
  uint8_t* p = ib_put(code, uint16_t(kIbLdReg1 + 2 * (reg - 1)), 8);
  if (p) rec::view<IbLdReg>(p).value = value;
  return p;
}

uint8_t* bld_def_add_app(IbCode* code) { return ib_put(code, kIbDefAddApp); }

uint8_t* bld_def_detach(IbCode* code, const char* app, const char* field, uint8_t shift) {
  uint8_t* p = ib_put(code, kIbDefDetach);
  if (!p) return nullptr;
  auto& in = rec::view<IbDef>(p);
  put_ref(in, app, field);
  in.shift = shift;
  return p;
}

uint8_t* bld_def_attach(IbCode* code, const char* app, const char* field, uint8_t shift, uint32_t rec_ira,
                        uint16_t occ_kind, uint16_t no_kind) {
  uint8_t* p = ib_put(code, kIbDefine, 40);
  if (!p) return nullptr;
  auto& in = rec::view<IbDef>(p);
  put_ref(in, app, field);
  in.shift = shift;
  in.rec_ira = rec_ira;
  in.occ_kind = occ_kind;
  in.no_kind = no_kind;
  return p;
}

uint8_t* bld_undef(IbCode* code, const char* app, const char* field, uint8_t mode) {
  if (mode > 4) return nullptr;
  uint8_t* p = ib_put(code, kIbUndef);
  if (!p) return nullptr;
  auto& in = rec::view<IbUndef>(p);
  put_ref(in, app, field);
  in.mode = mode;
  return p;
}

uint8_t* bld_msg(IbCode* code, uint32_t cnst, uint16_t len, uint32_t kind, bool temp) {
  if (kind > kMsgCancel) return nullptr;
  uint8_t* p = ib_put(code, temp ? kIbMsgTmp : kIbMsgCnst);
  if (!p) return nullptr;
  auto& in = rec::view<IbMsg>(p);
  in.text = temp ? 0 : cnst;
  in.len = len;
  in.kind = kind;
  return p;
}

uint8_t* bld_refresh(IbCode* code, uint32_t cnst, uint16_t len, bool temp) {
  uint8_t* p = ib_put(code, kIbRefresh);
  if (!p) return nullptr;
  auto& in = rec::view<IbMsg>(p);
  in.text = temp ? 0 : cnst;
  in.len = len;
  in.kind = temp ? 0 : 1;
  return p;
}
