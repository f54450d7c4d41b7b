// Control builders: see ibctl.h.
#include "language/ibctl.h"

#include <cstring>

#include "files/fm.h"
#include "language/ibutil.h"

namespace {
uint8_t* label(IbCode* code, uint16_t op, CodeRef to) {
  uint8_t* p = ib_put(code, op);
  if (p) rec::view<IbLabel>(p).label = to;
  return p;
}
}  // namespace

uint8_t* bld_loop_cnv(IbCode* code, int reg, uint8_t var_type, uint8_t op_type, uint8_t op_len) {
  if (reg < 1 || reg > 4) return ib_err(__LINE__, "bad register number");
  uint8_t* p = ib_put(code, 0);
  if (!p) return nullptr;
  auto& in = rec::view<IbLoopCnv>(p);
  in.reg = uint8_t(reg);
  in.var_type = var_type;
  in.op_type = op_type;
  in.op_len = op_len;
  return p;
}
uint8_t* bld_addr_len(IbCode* code, int reg, uint8_t len) {
  uint8_t* p = ib_put(code, 8);
  if (!p) return nullptr;
  rec::view<IbAddrLen>(p).reg = uint8_t(reg);
  rec::view<IbAddrLen>(p).len = len;
  return p;
}
uint8_t* bld_beg_loop(IbCode* code, bool binary, uint32_t ira, CodeRef* where) {
  uint8_t* p = ib_put(code, binary ? 4 : 2, 0, where);
  if (!p) return nullptr;
  rec::view<IbBegLoop>(p).ira = ira;
  return p;
}
uint8_t* bld_end_loop(IbCode* code, bool binary, uint32_t ira) {
  uint8_t* p = ib_put(code, binary ? 14 : 12);
  if (p) rec::view<IbEndLoop>(p).ira = ira;
  return p;
}
uint8_t* bld_end(IbCode* code, bool statement) { return ib_put(code, statement ? 22 : 10); }
uint8_t* bld_end_proc(IbCode* code) { return ib_put(code, 42); }
uint8_t* bld_exit(IbCode* code) { return ib_put(code, 16); }
uint8_t* bld_return(IbCode* code) { return ib_put(code, 30); }
uint8_t* bld_gosub(IbCode* code, CodeRef to) {
  uint8_t* p = label(code, 18, to);
  if (p) rec::view<IbGosub>(p).ret = ib_here(code);
  return p;
}
uint8_t* bld_goto(IbCode* code, CodeRef to) { return label(code, 20, to); }
uint8_t* bld_overflow(IbCode* code, CodeRef to) { return label(code, 24, to); }
uint8_t* bld_timeout(IbCode* code, CodeRef to, uint8_t type, uint8_t len, bool is_signed) {
  uint8_t* p = label(code, 34, to);
  if (!p) return nullptr;
  auto& in = rec::view<IbTimeout>(p);
  in.type = type;
  in.len = len;
  in.is_signed = is_signed;
  return p;
}
uint8_t* bld_timeout_clr(IbCode* code) { return ib_put(code, 46); }
uint8_t* bld_logout(IbCode* code, bool flag) {
  uint8_t* p = ib_put(code, 44);
  if (p) rec::view<IbLogout>(p).flag = flag ? 1 : 0;
  return p;
}
uint8_t* bld_exit_cond(IbCode* code, uint8_t value) {
  uint8_t* p = ib_put(code, 36);
  if (p) rec::view<IbCond>(p).value = value;
  return p;
}
uint8_t* bld_br_cond(IbCode* code, uint8_t value, CodeRef to) {
  uint8_t* p = ib_put(code, 38);
  if (!p) return nullptr;
  rec::view<IbCond>(p).value = value;
  rec::view<IbCond>(p).to = to;
  return p;
}

uint8_t* bld_invoc(IbCode* code, uint32_t shift, uint8_t type, const char* app, const char* name, uint8_t kind,
                   uint8_t replace, uint8_t fail, uint32_t number) {
  uint8_t* p = ib_put(code, 40);
  if (!p) return nullptr;
  auto& in = rec::view<IbInvoc>(p);
  in.shift = shift;
  in.type = type;
  std::memcpy(in.app.data(), app, 3);
  std::memcpy(in.name.data(), name, 30);
  in.kind = kind;
  in.replace = replace;
  in.fail = fail;
  in.number = number;
  return p;
}
uint8_t* bld_run(IbCode* code, uint32_t shift, uint8_t flag, uint8_t fail, uint32_t len) {
  uint8_t* p = ib_put(code, 32);
  if (!p) return nullptr;
  auto& in = rec::view<IbRun>(p);
  in.shift = shift;
  in.flag = flag;
  in.fail = fail;
  in.len = len;
  return p;
}
uint8_t* bld_call(IbCode* code, uint32_t shift, uint8_t keep, uint8_t b119, uint8_t b120, uint32_t len) {
  uint8_t* p = ib_put(code, 6);
  if (!p) return nullptr;
  auto& in = rec::view<IbCall>(p);
  in.shift = shift;
  in.keep = keep;
  in.b9 = b119;
  in.b10 = b120;
  in.len = len;
  return p;
}
uint8_t* bld_pass(IbCode* code, const PifRec& r) {
  uint8_t* p = ib_put(code, 26);
  if (p) std::memcpy(p + 4, &r, sizeof r);
  return p;
}

void INIT_PIF_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb) {
  init_sdb_func(sdb, 0, 0, 4, FM_SEG_BINARY, '+');
  INIT_KDB(kdb, 0, '+', 8, sdb, 1);
  INIT_FDB(fdb, FM_CLASS_MEMORY, sizeof(PifRec), 0, kdb, 1);
  INIT_UNIQUE_PATH(fdb, "PI", "PI", FM_PT_DATA);
}

void INIT_SCAN_STMT_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb) {
  init_sdb_func(sdb, 0, 0, 2, FM_SEG_BINARY, '+');
  INIT_KDB(kdb, 0, '+', 8, sdb, 1);
  INIT_FDB(fdb, FM_CLASS_MEMORY, 80, 0, kdb, 1);
  INIT_UNIQUE_PATH(fdb, "PI", "SC", FM_PT_DATA);
}
