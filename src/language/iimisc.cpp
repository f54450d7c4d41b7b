// COPY markers, PRINT and VERIFY at run time (ibmisc.h gives the layouts).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "files/fm.h"
#include "foundation/cv.h"
#include "foundation/cvdat.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/pd.h"
#include "language/ibmisc.h"
#include "language/ibtst.h"
#include "language/ibutil.h"
#include "language/iiutil.h"
#include "process/em.h"
#include "process/pcb.h"
#include "screen/wm.h"

namespace {
constexpr const char* kMod = "II.C";

bool is_date_type(int t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }

// The descriptor of a VERIFY's date field from its compiled mask tokens
// (units 1-8, the day of the year 9), its range, data type and length.
bool vfy_date_ok(const IbVfy& in, uint8_t* value) {
  DateDesc d;
  d.type = in.type;
  d.len = in.len;
  d.value = value;
  d.mask = const_cast<uint8_t*>(in.date_mask.data());
  int n = 0, high = 0, low = 9;
  for (; n < 60 && in.date_mask[n] != 0; ++n) {
    int t = in.date_mask[n];
    if (t == kMskJulDay) {
      d.julian = 1;
      high = std::max(high, int(kUnitMonth));
      low = std::min(low, int(kUnitDay));
    } else if (t >= 1 && t <= 8) {
      high = std::max(high, t);
      low = std::min(low, t);
    }
  }
  // The stored form is the element's range when it has one (its integer
  // and decimal digits: the highest and lowest unit), as the field's own
  // conversion reads it; a display mask may show other units.
  if (in.digits >= 1 && in.digits <= 8 && in.decimals >= 1 && in.decimals <= in.digits) {
    high = in.digits;
    low = in.decimals;
  }
  if (high == 0) return true;
  d.mask_len = uint16_t(n);
  d.high = uint8_t(high);
  d.low = uint8_t(low);
  return cv_ntos_date(&d) == 1;
}

bool no_report(Pcb*) { return false; }
void no_page(Pcb*) {}
int no_region(Pcb*, const IiRegion*) { return 0; }
uint8_t* no_acc(Pcb*, uint32_t) { return nullptr; }
uint8_t* no_bucket(Pcb*, uint8_t*) { return nullptr; }

// The status record's print switches (beyond the counts and OPTION).
struct IiStatusPrint {
  rec::Bytes<40> head;
  rec::U8 attr40;              // 40
  rec::U8 attr41;              // 41
  rec::Bytes<13> b42;
  rec::U8 new_page_after;      // 55 '1'
  rec::U8 new_page_before;     // 56 '1'
};
QV_RECORD(IiStatusPrint, 57);
QV_AT(IiStatusPrint, new_page_after, 55);
}  // namespace

namespace {
// The report image updates are recorded until the report manager takes them.
int rec_itm(Pcb*, const uint8_t* item, uint32_t value, uint32_t select) {
  const auto& it = rec::view<WmItem>(const_cast<uint8_t*>(item));
  ii_rm_calls().push_back({'I', it.handle, it.row, it.col, value, select, 0, {}});
  return 1;
}
int rec_chr(Pcb*, const uint8_t* chr, uint32_t value, uint32_t select) {
  const auto& c = rec::view<WmChr>(const_cast<uint8_t*>(chr));
  ii_rm_calls().push_back({'C', c.handle, c.row, c.col, value, select, c.colour, {}});
  return 1;
}
int rec_browse(Pcb*, const uint8_t* r, const uint8_t* key) {
  uint32_t handle = rec::view<rec::U32>(const_cast<uint8_t*>(r)).get();
  int col = rec::view<rec::U16>(const_cast<uint8_t*>(r) + 6).get();
  ii_rm_calls().push_back({'B', handle, 0, col, 0, 0, 0, std::string(reinterpret_cast<const char*>(key), 82)});
  return 1;
}
}  // namespace

IiReportSvc ii_report_svc{no_report, no_page, no_region, no_page, no_acc, no_bucket, rec_itm, rec_chr, rec_browse};
void ii_report_svc_reset() {
  ii_report_svc = {no_report, no_page, no_region, no_page, no_acc, no_bucket, rec_itm, rec_chr, rec_browse};
  ii_rm_calls().clear();
}
std::vector<IiRmCall>& ii_rm_calls() {
  static std::vector<IiRmCall> v;
  return v;
}

uint8_t* bld_copy(IbCode* code, uint8_t kind) {
  uint8_t* p = ib_put(code, 460);
  if (p) rec::view<IbCopy>(p).code = kind;
  return p;
}
uint8_t* bld_end_copy(IbCode* code) { return ib_put(code, 462); }
uint8_t* bld_print(IbCode* code, uint32_t text_len) {
  uint8_t* p = ib_put(code, 470);
  if (p) rec::view<IbPrint>(p).len = text_len;
  return p;
}
uint8_t* bld_trap(IbCode* code) { return ib_put(code, 450); }
uint8_t* bld_ira_sum(IbCode* code, uint32_t accumulator, int reg) {
  if (reg < 1 || reg > 4) return ib_err(__LINE__, "bad register number");
  uint8_t* p = ib_put(code, 184);
  if (!p) return nullptr;
  rec::view<IbIraSum>(p).acc = accumulator;
  rec::view<IbIraSum>(p).reg = uint32_t(reg);
  return p;
}
uint8_t* bld_ira_bucket(IbCode* code, int reg) {
  if (reg < 1 || reg > 4) return ib_err(__LINE__, "bad register number");
  uint8_t* p = ib_put(code, 186);
  if (p) rec::view<IbIraBucket>(p).reg = uint16_t(reg);
  return p;
}
uint8_t* bld_nop(IbCode* code) { return ib_put(code, 466); }
uint8_t* bld_ghost(IbCode* code) { return ib_put(code, 468); }

uint8_t* bld_vfy(IbCode* code, const IbVfyField& f, uint8_t mode, const char* app, bool conds, uint32_t shift) {
  if (mode > 3) return nullptr;  // the compile function reports 102630
  uint8_t* p = ib_put(code, 48);
  if (!p) return nullptr;
  auto& in = rec::view<IbVfy>(p);
  in.shift = shift;
  in.len = f.len;
  bool tokens = f.type == 5 && f.token && *f.token && f.token[0] != ' ';
  in.tokens = tokens;
  in.type = f.type;
  in.app.set(app ? app : "   ");
  in.token.set(f.token ? f.token : "");
  in.mode = mode;
  in.digits = f.digits;
  in.decimals = f.decimals;
  in.conds = conds;
  std::string name(f.name ? f.name : "");
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (name.size() > 29) name.resize(29);
  std::memset(in.name.data(), 0, 30);
  std::memcpy(in.name.data(), name.data(), name.size());
  if (is_date_type(f.type)) {  // the mask's tokens, compiled in place
    const char* mask = f.date_mask ? f.date_mask : kDateMaskAll;
    size_t n = std::min<size_t>(std::strlen(mask), 60);
    std::memset(in.date_mask.data(), ' ', 60);
    std::memcpy(in.date_mask.data(), mask, n);
    DateDesc d;
    d.type = f.type;
    d.mask = in.date_mask.data();
    d.mask_len = uint16_t(n);
    if (!cv_cmpl_date_msk(&d)) return nullptr;
    std::memset(in.date_mask.data() + d.mask_len, 0, 60 - d.mask_len);
  }
  return p;
}

namespace {

uint8_t* inst_copy(IlfExecBlock*, IlfState*, uint8_t* pc) { return ii_adv(pc, 12); }
uint8_t* inst_end_copy(IlfExecBlock*, IlfState*, uint8_t* pc) { return ii_adv(pc, 4); }

uint8_t* inst_print(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  Pcb* pcb = b->pcb;
  int type = pcb ? int(pcb->invoc.type) : 0;
  if (type != 3 && type != 9) return ii_adv(pc, 8);
  int first = s->len[1], rows = s->len[2], width = s->len[3];
  if (!s->addr[0] || !ii_report_svc.has_report(pcb) || first < 1 || first > 255 || rows < 1 || rows > 21 ||
      width < 1 || width > 255)
    return ii_fail(b, s, kIiErrPrint);
  auto* st = reinterpret_cast<IiStatusPrint*>(pcb_status(pcb));
  if (st && st->new_page_before == '1') ii_report_svc.finish_page(pcb);
  std::string text(size_t(rows * width), ' ');
  size_t n = std::min<size_t>(rec::view<IbPrint>(pc).len.get(), text.size());
  std::memcpy(text.data(), s->addr[0], n);
  IiRegion r{1, first, rows, width, st ? uint8_t(st->attr40) : uint8_t(0), st ? uint8_t(st->attr41) : uint8_t(0),
             text.data()};
  if (!ii_report_svc.print_region(pcb, &r)) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "ii_exec() - print : rm_exec_reg() failed");
    os_sys_err(kMod, __LINE__);
    ii_end_ep(b, s);
    return ii_stop(s);
  }
  ii_report_svc.print_if_full(pcb);
  if (st && st->new_page_after == '1') ii_report_svc.finish_page(pcb);
  return ii_adv(pc, 8);
}

// IRA_SUM and IRA_BUCKET: a register at a TOTAL accumulator, then at its
// bucket of the current total level (the report manager keeps both).
uint8_t* sum_fail(IlfExecBlock* b, IlfState* s, int line, const char* text) {
  os_sys_err_text(kMod, line, text);
  ii_end_ep(b, s);
  return ii_stop(s);
}
uint8_t* inst_ira_sum(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbIraSum>(pc);
  uint32_t reg = in.reg;
  uint8_t* acc = ii_report_svc.accumulator(b->pcb, in.acc);
  if (reg < 1 || reg > 4 || !acc) return sum_fail(b, s, __LINE__, "inst_ira_sum() - no accumulator");
  s->addr[reg - 1] = acc;
  return ii_adv(pc, 12);
}
uint8_t* inst_ira_bucket(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint16_t reg = rec::view<IbIraBucket>(pc).reg;
  uint8_t* at = reg >= 1 && reg <= 4 ? ii_report_svc.bucket(b->pcb, s->addr[reg - 1]) : nullptr;
  if (!at) return sum_fail(b, s, __LINE__, "inst_ira_bucket() - no bucket");
  s->addr[reg - 1] = at;
  return ii_adv(pc, 6);
}

// VERIFY's first run: the token list of a binary token field.
void rloc_vfy(EmHeader*, uint8_t* p) {
  auto& in = rec::view<IbVfy>(p);
  if (!in.tokens) return;
  char app[4] = {}, name[23] = {};
  std::memcpy(app, in.app.data(), 3);
  std::memcpy(name, in.token.data(), 22);
  in.handle = cv_load_token(app, "00", 0, name);
}

std::string vfy_name(const IbVfy& in) {
  return std::string(reinterpret_cast<const char*>(in.name.data()), strnlen(reinterpret_cast<const char*>(in.name.data()), 30));
}

uint8_t* inst_vfy(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbVfy>(pc);
  const uint8_t* v = s->addr[0];
  int len = in.len, type = in.type;
  char text[160] = {};
  std::string name = vfy_name(in);
  if (is_date_type(type) && v) {
    if (!vfy_date_ok(in, const_cast<uint8_t*>(v)))
      std::snprintf(text, sizeof text, "%s contains an invalid date", name.c_str());
  } else if (in.tokens && v) {
    int32_t x = len == 1 ? v[0] : len == 2 ? int16_t(v[0] | v[1] << 8) : int32_t(rec::view<rec::U32>(const_cast<uint8_t*>(v)).get());
    if (x != 0 && (!in.handle || !cv_get_token(in.handle, nullptr, x, 1)))
      std::snprintf(text, sizeof text, "%s contains an invalid token value (%d)", name.c_str(), int(x));
  } else if ((type == 8 || type == 12) && v) {
    bool ok = type == 12 ? pd_vfy(v, 8, 15) : pd_vfy(v, len, in.digits + in.decimals);
    if (!ok) std::snprintf(text, sizeof text, "%s contains invalid packed decimal data", name.c_str());
  } else if (type == 11 && v) {
    if (v[0] != '0' && v[0] != '1' && v[0] != ' ')
      std::snprintf(text, sizeof text, "%s must contain 0, 1, or ' ' (%x)", name.c_str(), unsigned(v[0]));
  }
  uint32_t shift = in.shift;
  if (!text[0] && in.conds && shift >= 2 && shift <= 10 && ((s->mask >> (shift - 2)) & 3) != 1)
    std::snprintf(text, sizeof text, "%s does not meet data dictionary constraints", name.c_str());
  if (!text[0]) {
    s->mask = ii_set_tf(s->mask, 1, shift);
    return ii_adv(pc, 136);
  }
  la_sys_err(text, 0);
  s->mask = ii_set_tf(s->mask, 2, shift);
  Pcb* pcb = b->pcb;
  int mode = in.mode;
  if (mode == 3) {
    if (PcbStatus* st = pcb_status(pcb)) st->option = 278;
    ii_end_ep(b, s);
    ut_unwind(3);
  }
  if ((mode == 1 || mode == 2) && pcb) {
    if (FmArb* f = pcb->msg_file.get()) la_add_msg(3, f, uint32_t(200650), uint32_t(3));
    if (WmShow* show = pcb->show.get()) show->flags = uint8_t(show->flags | wmshow::kAlert);
    PcbStatus* st = pcb_status(pcb);
    if (mode == 1) {
      if (st) st->warnings = st->warnings + 1;
      ++b->warnings;
    } else {
      if (st) st->errors = st->errors + 1;
      ++b->errors;
    }
  }
  return ii_adv(pc, 136);
}

}  // namespace

void ii_misc2_init() {
  ib_set_hook(48, rloc_vfy);
  ii_set_pair(48, inst_vfy);
  ii_set_pair(460, inst_copy);
  ii_set_pair(184, inst_ira_sum);
  ii_set_pair(186, inst_ira_bucket);
  ii_set_pair(462, inst_end_copy);
  ii_set_pair(470, inst_print);
}
