// CNV BIN and CNV TEXT at run time (ibcnv.h gives the layouts).
//
// CNV BIN reads and writes the raw bytes of a short alpha field as an
// unsigned little-endian integer. Every value that does not fit its target,
// after the target's scale is applied, is 300540 with the target unchanged
// (scaling never stops short and stores a smaller number).
#include <cstddef>
#include <cstring>

#include "foundation/pd.h"
#include "language/ibcnv.h"
#include "language/ibtst.h"
#include "language/ibutil.h"
#include "language/iiutil.h"

namespace {
bool is_num(uint8_t t) { return t == 5 || t == 8 || t == 12; }
bool is_alpha(uint8_t t) { return t == 1 || t == 2 || t == 13; }
}  // namespace

uint8_t* bld_cnv_bin(IbCode* code, const IbCnvOp& t, const IbCnvOp& s, bool is_const, uint32_t value,
                     const CvItem* item) {
  if (is_num(t.type)) {
    if (!is_alpha(s.type) && !is_const) return nullptr;
    if (s.len > 4) return nullptr;
    uint8_t* p = ib_put(code, 752);
    if (!p) return nullptr;
    auto& in = rec::view<IbCnvBinNA>(p);
    in.type = t.type;
    in.len = t.len;
    in.scale = is_const ? 0 : t.scale;
    if (item) in.src = *item;
    in.src_len = s.len;
    in.is_const = is_const;
    return p;
  }
  if (!is_alpha(t.type) || (!is_num(s.type) && !is_const)) return nullptr;
  uint8_t* p = ib_put(code, 754);
  if (!p) return nullptr;
  auto& in = rec::view<IbCnvBinAN>(p);
  if (item) in.tgt = *item;
  in.len = t.len;
  in.src_type = s.type;
  in.src_len = s.len;
  in.src_scale = is_const ? 0 : s.scale;
  in.is_const = is_const;
  in.value = value;
  return p;
}

uint8_t* bld_cnv_text(IbCode* code, uint32_t shift, const CvItem& item, uint8_t elem_len, int occ_mode,
                      int direction, bool keep_len, const char* name1, const char* name2) {
  uint8_t* p = ib_put(code, 750);
  if (!p) return nullptr;
  auto& in = rec::view<IbCnvText>(p);
  in.shift = shift;
  in.item = item;
  in.elem_len = elem_len;
  in.occ_mode = uint8_t(occ_mode == 1 || occ_mode == 2 ? occ_mode : 0);
  in.direction = direction == 1;
  in.keep_len = keep_len;
  in.name1.set(name1 ? name1 : "");
  in.name2.set(name2 ? name2 : "");
  return p;
}

namespace {

// N_A: the alpha source's bytes into the numeric target.
uint8_t* inst_cnv_bin_n_a(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbCnvBinNA>(pc);
  int n = in.src_len;
  if (n > 4) return ii_fail(b, s, 102250);
  const uint8_t* src = s->addr[1];
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= uint64_t(src[i]) << (8 * i);
  uint8_t* t = s->addr[0];
  int len = in.len, scale = in.scale;
  if (in.type == 5) {
    for (int i = 0; i < scale; ++i) {
      v *= 10;
      if (v > 0xFFFFFFFFull) return ii_fail(b, s, kIiErrRuntime);
    }
    uint64_t max = len == 1 ? 0xFF : len == 2 ? 0xFFFF : len == 4 ? 0xFFFFFFFFull : 0;
    if (max == 0 || v > max) return ii_fail(b, s, kIiErrRuntime);
    for (int i = 0; i < len; ++i) t[i] = uint8_t(v >> (8 * i));
    return ii_adv(pc, 216);
  }
  bool var = in.type == 12;
  int dl = var ? len - 1 : len;
  uint8_t w[16];
  bool ok = dl >= 1 && dl <= 16 && pd_cvp_u32(w, 16, uint32_t(v)) && (var || pd_shft(w, 16, scale));
  uint8_t out[16];
  if (!ok || !pd_set(out, dl, w, 16)) return ii_fail(b, s, kIiErrRuntime);
  std::memcpy(t, out, size_t(dl));
  if (var) t[dl] = 0;
  return ii_adv(pc, 216);
}

// A_N: the number as an integer into the alpha target's raw bytes.
uint8_t* inst_cnv_bin_a_n(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbCnvBinAN>(pc);
  const uint8_t* src = s->addr[1];
  int64_t v;
  if (in.is_const) {
    v = in.value.get();
  } else if (in.src_type == 5) {
    int n = in.src_len;
    uint32_t w = 0;
    for (int i = 0; i < n && i < 4; ++i) w |= uint32_t(src[i]) << (8 * i);
    v = n == 1 ? int8_t(w) : n == 2 ? int16_t(w) : int32_t(w);
    for (int i = 0; i < in.src_scale; ++i) v /= 10;
  } else {
    bool var = in.src_type == 12;
    int dl = var ? in.src_len - 1 : in.src_len;
    int scale = var ? int8_t(src[dl]) : in.src_scale;
    uint8_t w[16];
    bool ok = dl >= 1 && dl <= 16 && scale >= kIiMinScale && scale <= kIiMaxScale && pd_set(w, 16, src, dl) &&
              pd_shftn(w, 16, -scale);
    uint32_t u = ok ? pd_cvb_u32(w, 16, &ok) : 0;
    if (!ok) return ii_fail(b, s, kIiErrRuntime);
    v = u;
  }
  int len = in.len;
  if (v < 0 || len < 1 || len > 4 || (len < 4 && v >= (int64_t(1) << (8 * len))) || v > 0xFFFFFFFFll)
    return ii_fail(b, s, kIiErrRuntime);
  for (int i = 0; i < len; ++i) s->addr[0][i] = uint8_t(uint64_t(v) >> (8 * i));
  return ii_adv(pc, 220);
}

// The conversion blocks of CNV TEXT statements, kept by the instruction's
// arena offset with their items' bytes: a statement in a loop compiles its
// item once. A block is kept only when compiling changed nothing of the
// item (its second compile, usually: the first fills in the display width
// and the like), so that using it is the same as compiling again; items
// whose compile reads more than the item (a token list, a date without a
// mask of its own: the application's) are compiled each time.
struct CnvMemo {
  uint32_t at = 0;  // 0: none
  uint8_t item[sizeof(CvItem)];
  CvBlock blk;
};
constexpr size_t kCnvMemos = 64;
CnvMemo g_cnv_memo[kCnvMemos];
// The item's bytes but its value's addresses (cv_set_addr's) and its last
// message.
bool same_item(const uint8_t* a, const uint8_t* b) {
  constexpr size_t addr = offsetof(CvItem, int_addr), addr_end = offsetof(CvItem, ext_len);
  constexpr size_t msg = offsetof(CvItem, msg), msg_end = msg + 4;
  return std::memcmp(a, b, addr) == 0 && std::memcmp(a + addr_end, b + addr_end, msg - addr_end) == 0 &&
         std::memcmp(a + msg_end, b + msg_end, sizeof(CvItem) - msg_end) == 0;
}
bool item_alone(const CvItem& it) {
  int t = it.type;
  bool date = t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15;
  return it.token_mark.get() == 0 && (!date || !it.mask.blank());
}
// The compiled block of the statement at pc, or null when its item does
// not compile.
CvBlock* cnv_block(uint8_t* pc, CvItem* item, CvBlock* local) {
  uint32_t at = uint32_t(pc - ii_arena);
  CnvMemo& m = g_cnv_memo[(at >> 2) % kCnvMemos];
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(item);
  if (m.at == at && same_item(m.item, bytes)) return &m.blk;
  uint8_t before[sizeof(CvItem)];
  std::memcpy(before, bytes, sizeof before);
  if (cv_cmpl(local, item, nullptr) == 0) return nullptr;
  if (item_alone(*item) && same_item(before, bytes)) {
    m.at = at;
    std::memcpy(m.item, bytes, sizeof m.item);
    m.blk = *local;
  }
  return local;
}

// CNV TEXT: a failure sets the level false; a success sets it true unless
// the level is false already (only the level's own two bits are looked at).
// With an occurrence mode every occurrence of the counted operand is
// converted, each with the other operand's value at the same step; any
// failure makes the statement false (the others are still converted).
uint8_t* inst_cnv_text(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbCnvText>(pc);
  CvBlock local;
  bool to_text = in.direction == 1;
  uint8_t* field = s->addr[to_text ? 1 : 0];
  char* text = reinterpret_cast<char*>(s->addr[to_text ? 0 : 1]);
  size_t n = 1, step[2] = {0, 0};  // registers 1 and 2
  if (in.occ_mode == 1 || in.occ_mode == 2) {
    int c = in.occ_mode - 1;
    n = in.elem_len ? s->len[c] / in.elem_len : 0;
    step[c] = in.elem_len;
    step[1 - c] = n ? s->len[1 - c] / n : 0;
  }
  size_t fstep = step[to_text ? 1 : 0], tstep = step[to_text ? 0 : 1];
  CvBlock* blk = n > 0 ? cnv_block(pc, &in.item, &local) : nullptr;
  bool compiled = blk != nullptr;
  // Every text of a counted statement is the display width long: texts
  // side by side whose last would pass the length its operand was given
  // (occurrences shorter than the display) convert nothing and are false.
  // The fields likewise stay inside the length their operand was given
  // (a length of 0: one field for every text).
  if (compiled && in.occ_mode != 0) {
    size_t tlen = s->len[to_text ? 0 : 1], flen = s->len[to_text ? 1 : 0];
    if ((n - 1) * tstep + blk->item->ext_len > tlen || (fstep && (n - 1) * fstep + blk->item->int_len > flen))
      compiled = false;
  }
  bool ok = compiled;
  for (size_t k = 0; compiled && k < n; ++k) {
    cv_set_addr(blk, field + k * fstep, text + k * tstep);
    blk->msg = 0;
    if (to_text) {
      cv_itoe(blk);  // 1 when the text changed: success is the message
      if (blk->msg != 0) ok = false;
    } else if (cv_etoi(blk) == 0) {
      ok = false;
    }
  }
  uint32_t shift = in.shift;
  if (!ok) s->mask = ii_set_tf(s->mask, 2, shift);
  else if (shift < 2 || shift > 10 || ((s->mask >> (shift - 2)) & 3) != 2) s->mask = ii_set_tf(s->mask, 1, shift);
  return ii_adv(pc, 260);
}

}  // namespace

void ii_cnv_init() {
  ii_set_pair(750, inst_cnv_text);
  ii_set_pair(752, inst_cnv_bin_n_a);
  ii_set_pair(754, inst_cnv_bin_a_n);
}
