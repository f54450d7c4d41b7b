// File statement builders: see ibfi.h.
#include "language/ibfi.h"

#include <cstring>

#include "files/fm.h"
#include "language/ibutil.h"

namespace {
uint8_t* lvl(IbCode* code, uint16_t op, uint32_t level, uint32_t entry, uint8_t a, uint8_t b) {
  uint8_t* p = ib_put(code, op);
  if (!p) return nullptr;
  auto& in = rec::view<IbFiLvl>(p);
  in.level = level;
  in.entry = entry;
  in.a = a;
  in.b = b;
  return p;
}
}  // namespace

uint16_t SET_GFH_HOLD(int hold) {
  return hold == 1 ? FM_OP_HOLD : hold == 2 ? uint16_t(FM_OP_HOLD | FM_OP_WAIT) : uint16_t(0);
}

uint8_t* bld_if_exist(IbCode* code, uint32_t level, uint32_t entry, uint8_t mode, bool no_file) {
  return lvl(code, 578, level, no_file ? 0 : entry, mode, no_file ? 1 : 0);
}
uint8_t* bld_create(IbCode* code, uint32_t level, uint32_t entry, uint8_t excl, uint8_t mode) {
  return lvl(code, 570, level, entry, excl, mode);
}
uint8_t* bld_scratch(IbCode* code, uint32_t level, uint32_t entry, uint8_t mode) {
  return lvl(code, 572, level, entry, mode, 0);
}
uint8_t* bld_write(IbCode* code, uint32_t level, uint32_t entry, uint8_t mode) {
  return lvl(code, 564, level, entry, mode, 0);
}
uint8_t* bld_rewrite(IbCode* code, uint32_t level, uint32_t entry, uint8_t mode) {
  return lvl(code, 566, level, entry, mode, 0);
}

uint8_t* bld_open(IbCode* code, uint32_t level, uint32_t entry, uint32_t oldpath, uint8_t excl, uint8_t mode) {
  uint8_t* p = ib_put(code, 574);
  if (!p) return nullptr;
  auto& in = rec::view<IbFiOpen>(p);
  in.level = level;
  in.entry = entry;
  in.oldpath = oldpath;
  in.excl = excl;
  in.mode = mode;
  return p;
}

uint8_t* bld_close(IbCode* code, uint32_t entry, uint8_t option) {
  uint8_t* p = ib_put(code, 576);
  if (!p) return nullptr;
  rec::view<IbFiEntry>(p).entry = entry;
  rec::view<IbFiEntry>(p).option = option;
  return p;
}

uint8_t* bld_delete(IbCode* code, uint32_t entry) {
  uint8_t* p = ib_put(code, 568);
  if (p) rec::view<IbFiEntry>(p).entry = entry;
  return p;
}

uint8_t* bld_read(IbCode* code, uint32_t level, uint32_t entry, uint16_t key_len, uint16_t key_pos, uint8_t key_no,
                  uint8_t key_type, uint16_t op, uint8_t mode) {
  uint8_t* p = ib_put(code, 562);
  if (!p) return nullptr;
  auto& in = rec::view<IbFiRead>(p);
  in.level = level;
  in.entry = entry;
  in.key_len = key_len;
  in.key_pos = key_pos;
  in.key_no = key_no;
  in.key_type = key_type;
  in.op = op;
  in.mode = mode;
  return p;
}

uint8_t* bld_readnext(IbCode* code, uint32_t level, uint32_t entry, bool named, uint8_t key_no, uint16_t key_len,
                      uint16_t key_pos, uint16_t op, uint8_t mode) {
  uint8_t* p = ib_put(code, 554);
  if (!p) return nullptr;
  auto& in = rec::view<IbFiReadNext>(p);
  in.level = level;
  in.entry = entry;
  in.area = entry;
  in.key_len = key_len;
  in.key_pos = key_pos;
  in.named = named ? '0' : '1';
  in.key_no = named ? key_no : 0;
  in.op = op;
  in.mode = mode;
  return p;
}

uint8_t* bld_at(IbCode* code, bool end, uint32_t entry, uint8_t range, const uint16_t (*segs)[2], int n) {
  if (n < 1 || n > 255) return ib_err(__LINE__, "bad length");
  uint32_t len = 0;
  for (int i = 0; i < n; ++i) len += segs[i][1];
  if (len == 0 || len > FM_MAX_KEY_LEN) return nullptr;
  uint8_t* p = ib_put(code, end ? 552 : 550, 12 + 8 * size_t(n));
  if (!p) return nullptr;
  auto& in = rec::view<IbFiAt>(p);
  in.entry = entry;
  in.key_len = uint16_t(len);
  in.range = range;
  in.segs = uint8_t(n);
  for (int i = 0; i < n; ++i) {
    auto& s = rec::view<IbFiSeg>(p + 12 + 8 * i);
    s.zero = 0;
    s.offset = segs[i][0];
    s.length = segs[i][1];
    s.zero2 = 0;
  }
  return p;
}

uint8_t* bld_beg_read_start(IbCode* code, uint32_t entry, uint32_t cursor, uint16_t key_len, uint16_t key_pos,
                            uint8_t key_no) {
  uint8_t* p = ib_put(code, 556);
  if (!p) return nullptr;
  auto& in = rec::view<IbFiBegStart>(p);
  in.entry = entry;
  in.cursor = cursor;
  in.key_len = key_len;
  in.key_pos = key_pos;
  in.key_no = key_no;
  return p;
}

uint8_t* bld_beg_read(IbCode* code, uint32_t entry, uint32_t cursor, uint16_t op) {
  uint8_t* p = ib_put(code, 558);
  if (!p) return nullptr;
  auto& in = rec::view<IbFiBegRead>(p);
  in.entry = entry;
  in.cursor = cursor;
  in.exit.block = 0xFFFF;
  in.exit.offset = 0;
  in.op = op;
  return p;
}

uint8_t* bld_end_read(IbCode* code, uint32_t cursor) {
  uint8_t* p = ib_put(code, 560);
  if (p) rec::view<IbFiEntry>(p).entry = cursor;
  return p;
}

namespace {
uint8_t* prop(IbCode* code, uint16_t op, const char* app, const char* kind, const char* name, uint32_t name_len,
              const CvItem* item) {
  uint8_t* p = ib_put(code, op);
  if (!p) return nullptr;
  auto& in = rec::view<IbFiProp>(p);
  std::memcpy(in.app.data(), app, 3);
  std::memcpy(in.kind.data(), kind, 8);
  std::memcpy(in.prop.data(), name, 14);
  in.name_len = name_len;
  if (item) in.item = *item;
  return p;
}
}  // namespace

uint8_t* bld_getprop(IbCode* code, const char* app, const char* kind, const char* name, uint32_t name_len,
                     const CvItem& item) {
  return prop(code, 190, app, kind, name, name_len, &item);
}
uint8_t* bld_putprop(IbCode* code, const char* app, const char* kind, const char* name, uint32_t name_len,
                     const CvItem& item) {
  return prop(code, 192, app, kind, name, name_len, &item);
}
uint8_t* bld_delprop(IbCode* code, const char* app, const char* kind, const char* name, uint32_t name_len) {
  return prop(code, 198, app, kind, name, name_len, nullptr);
}
uint8_t* bld_moveprop(IbCode* code, const char* app, const char* kind, const char* name, uint32_t name_len) {
  return prop(code, 254, app, kind, name, name_len, nullptr);
}

uint8_t* bld_scan_tst(IbCode* code, uint32_t len) {
  uint8_t* p = ib_put(code, 140);
  if (!p) return nullptr;
  auto& in = rec::view<IbFiScanTst>(p);
  in.target.block = 0xFFFF;
  in.target.offset = 0;
  in.len = len;
  return p;
}

uint8_t* bld_scan(IbCode* code, uint32_t ctl) {
  uint8_t* p = ib_put(code, 580);
  if (!p) return nullptr;
  auto& in = rec::view<IbFiScan>(p);
  in.ctl = ctl;
  in.cont.block = kNoCode;
  in.cont.offset = 0;
  in.ret.block = kNoCode;
  in.ret.offset = 0;
  return p;
}

uint8_t* bld_scan_ira(IbCode* code, uint16_t offset, int reg) {
  if (reg < 1 || reg > 4) return ib_err(__LINE__, "bad register number");
  uint8_t* p = ib_put(code, 188);
  if (!p) return nullptr;
  rec::view<IbIraScan>(p).reg = uint16_t(reg);
  rec::view<IbIraScan>(p).offset = offset;
  return p;
}
