// Scrolling frames of Input processes: the frame's image is repeated as rows
// of the frame's window, one record per row. The tags of the PCB's
// scrolling block are the records shown (and read ahead), in key order;
// `row` is the current tag's row (1-based), `shown` the rows the window
// holds now. A row is shown by running the frame in INTERACTIVE PHASE 5,
// which displays the image once into the current row without waiting.
//
// Every row is re-read by its record id before it is shown again: a record
// deleted meanwhile (or whose id another record took since: its key
// differs) loses its row and tag, and the rows below move up.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "executors/fp.h"
#include "executors/ipscrl.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pipcf.h"
#include "process/pishr.h"
#include "screen/wm.h"

namespace {
constexpr const char* kMod = "IP";
constexpr uint32_t kMsgEof = 300670;

void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

PcbScroll* block(Pcb* pcb) { return pcb ? pcb->scroll_img.get() : nullptr; }
PdArea11* phase_rec(Pcb* pcb) { return pi_area_rec<PdArea11>(pcb, 11); }

uint32_t holds(const PcbScroll* sb) {
  uint32_t per = std::max<uint32_t>(1, sb->rec_rows);
  return std::max<uint32_t>(1, sb->wnd_rows / per);
}

// ------------------------------------------------------------ key bytes --
// The record's key in the stream's key, segment after segment.
size_t key_of(FmArb* h, uint8_t* out, size_t cap) {
  FmFile* f = h ? h->file.get() : nullptr;
  const uint8_t* rec = h ? h->rec.get() : nullptr;
  if (!f || !rec) return 0;
  size_t len = std::min<size_t>(h->len_read ? h->len_read : f->fdb.rec_len, f->fdb.rec_len);
  for (uint32_t k = 0; k < f->fdb.key_count; ++k) {
    FmKdb& kd = f->kdb.get()[k];
    if (kd.key_no != h->key_no) continue;
    size_t n = 0;
    for (uint32_t s = 0; s < kd.seg_count; ++s) {
      const FmSdb& sd = kd.segs.get()[s];
      for (uint32_t i = 0; i < sd.length && n < cap; ++i) {
        size_t at = size_t(sd.offset) + i;
        out[n++] = at < len ? rec[at] : 0;
      }
    }
    return n;
  }
  return 0;
}

// ------------------------------------------------------------ the tags --
PcbTag* new_tag(Pcb* pcb) {
  uint8_t key[FM_MAX_KEY_LEN];
  FmArb* h = pcb->pcf_stream.get();
  size_t n = key_of(h, key, sizeof key);
  auto* t = static_cast<PcbTag*>(MM_ALLOC(pi_pool(), sizeof(PcbTag) + n));
  std::memset(static_cast<void*>(t), 0, sizeof(PcbTag));
  t->rid = h ? uint32_t(h->rid) : 0u;
  t->key_len = uint16_t(n);
  std::memcpy(pcb_tag_key(t), key, n);
  return t;
}

void unlink_tag(PcbScroll* sb, PcbTag* t) {
  PcbTag* p = t->prev.get();
  PcbTag* n = t->next.get();
  if (p) p->next.set(n);
  else sb->first.set(n);
  if (n) n->prev.set(p);
  else sb->last.set(p);
  if (sb->cur.get() == t) sb->cur.reset();
  sb->count = sb->count ? sb->count - 1 : 0u;
  mm_free(t);
}

// The stream holds the tag's record again: 1 read, 2 delivered but held or
// locked elsewhere (the status in the stream), 0 when it is gone.
int reread(Pcb* pcb, PcbTag* t) {
  FmArb* h = pcb->pcf_stream.get();
  if (!h || !t) return 0;
  h->rid = t->rid;
  int ok = pi_read(pcb, FM_OP_RID);
  uint32_t st = h->status;
  if (!ok && st != FM_ST_HELD_SELF && st != FM_ST_LOCKED) return 0;
  uint8_t key[FM_MAX_KEY_LEN];
  size_t n = key_of(h, key, sizeof key);
  if (n != t->key_len || std::memcmp(key, pcb_tag_key(t), n) != 0) return 0;
  return ok ? 1 : 2;
}

// The next record after the last tag, into the record area: 1 read, 0 at
// the end of the file (no_more set). The stream goes on from the last
// tag's record; when that record is gone, from its key.
int read_ahead(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  FmArb* h = pcb->pcf_stream.get();
  if (!h) return 0;
  if (PcbTag* l = sb->last.get()) {
    FmArbKeep keep(h);
    h->rid = l->rid;
    h->op = FM_OP_RID;
    bool at = fm_read(h) != 0;
    uint8_t key[FM_MAX_KEY_LEN];
    if (!at || key_of(h, key, sizeof key) != l->key_len || std::memcmp(key, pcb_tag_key(l), l->key_len) != 0) {
      h->op = 0;
      fm_start_at(h, h->key_no, h->rec.get(), pcb_tag_key(l), l->key_len);
      // fm_start_at starts at the key itself; step over a record still
      // holding it.
      h->key.set(pcb_tag_key(l));
      h->key_len = l->key_len;
      h->op = FM_OP_AT | FM_OP_KEY | FM_OP_GE;
      fm_start(h);
    }
  }
  h->op = 0;
  h->key.reset();
  h->key_len = 0;
  // A record held or locked elsewhere is delivered all the same: its row
  // shows it.
  if (pi_rdnxt(pcb, 0) || h->status == FM_ST_HELD_SELF || h->status == FM_ST_LOCKED) return 1;
  sb->no_more = 1;
  return 0;
}

// ------------------------------------------------------------- the rows --
uint32_t window(Pcb* pcb) { return ip_scroll_window(pcb); }

void clear_rows(Pcb* pcb, const char* err) {
  PcbScroll* sb = block(pcb);
  uint32_t w = window(pcb);
  if (!w) return;
  if (!wm_pos_reg(w, 1) || !wm_del_reg(w, 255)) sys_err(__LINE__, err);
  sb->shown = 0;
}

// Shows the current tag's record (in the record area) in row `row`.
void show_row(Pcb* pcb, uint32_t row) {
  PcbScroll* sb = block(pcb);
  PdArea11* a11 = phase_rec(pcb);
  uint32_t frame = ip_scroll_frame(pcb);
  if (!sb || !a11 || !frame || row < 1 || row > holds(sb)) return;
  sb->row = row;
  uint8_t phase = a11->phase;
  a11->phase = 5;
  // The phase comes back however the frame ends.
  struct Back {
    PdArea11* a;
    uint8_t p;
    ~Back() { a->phase = p; }
  } back{a11, phase};
  fp_exec(pcb, frame);
  if (row > sb->shown) sb->shown = uint8_t(row);
}

// The tag `n` places after t (null past the last).
PcbTag* walk(PcbTag* t, int n) {
  for (; t && n > 0; --n) t = t->next.get();
  for (; t && n < 0; ++n) t = t->prev.get();
  return t;
}

}  // namespace

// ------------------------------------------------------------ the frame --
uint32_t ip_scroll_frame(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  PcbFrameEnt* t = pcb ? pcb->frame_tbl.get() : nullptr;
  if (!sb || !t || !sb->frame) return 0;
  return uint32_t(sb->frame.get() - t);
}

bool ip_scrolling(Pcb* pcb) {
  uint32_t f = ip_scroll_frame(pcb);
  return f && pcb->run.frame == f;
}

uint32_t ip_scroll_window(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  uint32_t f = ip_scroll_frame(pcb);
  if (!f) return 0;
  if (sb->region) return sb->region;
  EmCfrm* fr = fp_frame(pcb, f);
  EmCimg* ci = fr ? fp_image(pcb, fr->first_img) : nullptr;
  if (!ci) return 0;
  int rec_rows = std::max(1, ci->rows.get());
  int rows = fr->pos[2] > 0 ? fr->pos[2].get() : rec_rows;
  int cols = fr->pos[3] > 0 ? fr->pos[3].get() : std::max(1, ci->cols.get());
  int row = fr->pos[0].get(), col = std::max(1, fr->pos[1].get());
  // A row of 0 or less counts from the bottom of the screen's application
  // area.
  if (row <= 0) {
    int height = com.rows ? int(com.rows) : 24;
    row = std::max(1, row - 3 + height + 1 - rows);
  }
  WmWnd w;
  INIT_WND(&w, 1, row, col, rows, cols, 0);
  w.scroll = 3;
  w.reg_rows = uint16_t(rec_rows);
  w.reg_cols = uint16_t(cols);
  // The process's surfaces, made in its scope when it was handed none (the
  // window is attached before the frame first shows an image).
  int scope = pcb->pool_scope ? int(pcb->pool_scope) : int(com.depth);
  for (rec::U32* s : {&pcb->surface1, &pcb->surface2}) {
    uint32_t h = *s;
    if (!h && !wm_create_srf(&h, scope)) sys_err(__LINE__, "ip_sof() - unable to create surface");
    *s = h;
  }
  uint32_t srf = fp_img_first_srf(ci) ? uint32_t(pcb->surface1) : uint32_t(pcb->surface2);
  if (!srf) return 0;
  uint32_t reg = ip_attach(pcb, &w, srf, int(f), 0);
  if (!reg) return 0;
  sb->region = reg;
  sb->wnd_rows = uint16_t(rows);
  sb->rec_rows = uint16_t(rec_rows);
  // No row yet: the window's regions go until records are shown.
  clear_rows(pcb, "ip_sof() - wm_del_reg failed");
  return sb->region;
}

void ip_scroll_start(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  if (!sb) return;
  free_all_tags(pcb);
  sb->no_more = 0;
  // The browse buffer of printed reports is not kept yet: the frame starts
  // at the start of its key.
  if (FmArb* h = pcb->pcf_stream.get()) {
    h->op = FM_OP_FIRST;
    if (!fm_start(h)) sys_err(__LINE__, "init_mode() - fm_start failed");
    h->op = 0;
  }
}

// ---------------------------------------------------------------- tags --
void add_tag(Pcb* pcb, bool at_end) {
  PcbScroll* sb = block(pcb);
  if (!sb) return;
  PcbTag* t = new_tag(pcb);
  PcbTag* l = sb->last.get();
  t->prev.set(l);
  if (l) l->next.set(t);
  else sb->first.set(t);
  sb->last.set(t);
  sb->cur.set(t);
  sb->count = sb->count + 1;
  sb->at_end = at_end ? 1 : 0;
}

PcbTag* first_vis(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  if (!sb || !sb->cur || sb->row < 1) return nullptr;
  return walk(sb->cur.get(), -int(sb->row - 1));
}

PcbTag* last_vis(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  PcbTag* f = first_vis(pcb);
  if (!f || !sb->shown) return nullptr;
  PcbTag* l = walk(f, int(sb->shown) - 1);
  return l ? l : sb->last.get();
}

void free_all_tags(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  if (!sb) return;
  if (sb->region) clear_rows(pcb, "free_all_tags() - wm_del_reg failed");
  pcb_scroll_reset(sb);
  sb->shown = 0;
}

namespace {
// The window shown afresh from tag `top` on (null: the first tag, or the
// first record after the start of the stream when there is none), each row's record read again: a record gone meanwhile
// loses its tag and the rows below move up; past the last tag records are
// read ahead while the window has room. `want` becomes the current tag
// when it is still shown (when it went, the tag after it), else the last
// row's with `at_last`, else the first row's. The current record ends in
// the record area.
void redraw(Pcb* pcb, PcbTag* top, PcbTag* want, bool at_last, const char* err) {
  PcbScroll* sb = block(pcb);
  clear_rows(pcb, err);
  std::vector<PcbTag*> vis;
  sb->b_redraws = uint8_t(sb->b_redraws + 1);
  PcbTag* t = top ? top : sb->first.get();
  while (vis.size() < holds(sb)) {
    if (!t) {
      if (!read_ahead(pcb)) break;
      add_tag(pcb, false);
      t = sb->last.get();
    } else if (!reread(pcb, t)) {
      PcbTag* n = t->next.get();
      if (want == t) want = n;
      unlink_tag(sb, t);
      t = n;
      continue;
    }
    sb->cur.set(t);
    show_row(pcb, uint32_t(vis.size()) + 1);
    vis.push_back(t);
    t = t->next.get();
  }
  sb->shown = uint8_t(vis.size());
  if (vis.empty()) {
    sb->cur.reset();
    sb->row = 0u;
    return;
  }
  size_t at = at_last ? vis.size() - 1 : 0;
  for (size_t i = 0; i < vis.size(); ++i)
    if (vis[i] == want) at = i;
  sb->cur.set(vis[at]);
  sb->row = uint32_t(at + 1);
  reread(pcb, vis[at]);
}

// A tag after `t` for the next row: its own next one, or the next record
// read ahead. Null at the end of the file.
PcbTag* after(Pcb* pcb, PcbTag* t) {
  PcbScroll* sb = block(pcb);
  if (t && t->next) return t->next.get();
  if (t && t != sb->last.get()) return nullptr;
  if (!read_ahead(pcb)) return nullptr;
  add_tag(pcb, false);
  return sb->last.get();
}
}  // namespace

namespace {
// The current tag's record is gone: the window again without it, the tag
// after it current (the one before it at the end).
void drop_cur(Pcb* pcb, const char* err) {
  PcbScroll* sb = block(pcb);
  PcbTag* t = sb->cur.get();
  PcbTag* top = first_vis(pcb);
  PcbTag* near = t->next ? t->next.get() : t->prev.get();
  if (!top || top == t) top = near;
  redraw(pcb, top, near, !t->next, err);
}
}  // namespace

int get_tag(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  PcbTag* t = sb ? sb->cur.get() : nullptr;
  if (!t) return 0;
  if (reread(pcb, t)) return 1;
  drop_cur(pcb, "get_tag() - wm_del_reg failed");
  return sb->cur ? 1 : 0;
}

int deactv_reg(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  PcbTag* t = sb ? sb->cur.get() : nullptr;
  if (!t || sb->row < 1 || sb->row > sb->shown) return 0;
  if (reread(pcb, t)) {
    show_row(pcb, sb->row);
    sb->cur.set(t);
    return 0;
  }
  drop_cur(pcb, "deactv_reg() - wm_del_reg failed");
  return 1;
}

int nxt_tag(Pcb* pcb, uint32_t options) {
  PcbScroll* sb = block(pcb);
  PcbTag* t = sb ? sb->cur.get() : nullptr;
  if (!t) return 0;
  if ((options & kIpRdnxtOn) && sb->at_end) return get_tag(pcb);
  PcbTag* top = first_vis(pcb);
  PcbTag* n = after(pcb, t);
  if (!n) {
    sb->no_more = 1;
    if (!reread(pcb, t)) get_tag(pcb);
    return 0;
  }
  // The next row, the window moving up one row past its last.
  bool bottom = sb->row >= holds(sb);
  redraw(pcb, bottom && top ? top->next.get() : top, n, false, "nxt_tag() - wm_del_reg failed");
  return sb->cur ? 1 : 0;
}

// ------------------------------------------------------------ fill_wnd --
void fill_wnd(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  if (!sb || !window(pcb)) return;
  PcbTag* top = first_vis(pcb);
  if (!top) top = sb->first.get();
  if (!top && sb->first) return;
  redraw(pcb, top, sb->cur.get(), false, "fill_wnd() - wm_del_reg failed");
  if (!sb->cur)
    if (PdArea11* a11 = phase_rec(pcb)) a11->phase = 3;
}

// ---------------------------------------------------------- scroll_to_end --
namespace {
// The last page: every record up to the end tagged, then the last tags
// that are still there fill the window, the current row the last.
void last_page(Pcb* pcb, const char* err) {
  PcbScroll* sb = block(pcb);
  while (read_ahead(pcb)) add_tag(pcb, false);
  for (int tries = 0; tries < 64; ++tries) {
    PcbTag* from = walk(sb->last.get(), -int(holds(sb) - 1));
    if (!from) from = sb->first.get();
    if (!from) {
      clear_rows(pcb, err);
      sb->shown = 0;
      sb->cur.reset();
      sb->row = 0u;
      return;
    }
    redraw(pcb, from, nullptr, true, err);
    // A record gone meanwhile shortened the page: start it earlier.
    PcbTag* top = first_vis(pcb);
    if (sb->shown >= holds(sb) || !top || !top->prev) break;
  }
}
}  // namespace

void scroll_to_end(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  if (!sb || !window(pcb)) return;
  last_page(pcb, "scroll_to_end() - wm_del_reg failed");
}

// ------------------------------------------------------------ ip_scroll --
void ip_scroll(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  PdArea11* a11 = phase_rec(pcb);
  auto* st = pi_area_rec<PdStatus>(pcb, kPcbStatusArea);
  if (!sb || !a11 || !st || !window(pcb)) return;
  uint8_t phase = a11->phase;
  PcbTag* top = first_vis(pcb);
  PcbTag* cur = sb->cur.get();
  // The record area as the current row shows it: a key that changes
  // nothing leaves it so (a read ahead that found the end read into it).
  FmArb* h = pcb->pcf_stream.get();
  auto* fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get());
  size_t len = h && h->rec && fc && fc->cfi ? size_t(fc->cfi->fdb.rec_len) : 0;
  std::vector<uint8_t> area(len ? h->rec.get() : nullptr, len ? h->rec.get() + len : nullptr);
  uint8_t redraws = sb->b_redraws;
  switch (st->option) {
    case opt::kTop:
      // The file's first page, read afresh.
      ip_scroll_start(pcb);
      redraw(pcb, nullptr, nullptr, false, "scroll_first() - wm_del_reg failed");
      break;
    case opt::kBottom:
      ip_scroll_start(pcb);
      last_page(pcb, "scroll_last() - wm_del_reg failed");
      break;
    case opt::kPageUp: {
      // The page ending with the record before the first row; nothing on
      // the first record.
      if (!top || !top->prev) break;
      PcbTag* end = top->prev.get();
      PcbTag* from = walk(end, -int(holds(sb) - 1));
      redraw(pcb, from ? from : sb->first.get(), end, true, "scroll_prev() - wm_del_reg failed");
      break;
    }
    case opt::kPageDown: {
      // The page starting after the last row; nothing at the end.
      PcbTag* from = after(pcb, last_vis(pcb));
      if (from) redraw(pcb, from, from, false, "scroll_next() - wm_del_reg failed");
      break;
    }
    case opt::kLineDown: {
      // One row down: nothing at the end; the current record keeps its
      // record, one row higher (the next one when it was on the top row).
      PcbTag* last = last_vis(pcb);
      if (!last || !after(pcb, last)) break;
      redraw(pcb, top->next.get(), cur == top ? top->next.get() : cur, false, "scroll_down() - wm_del_reg failed");
      break;
    }
    case opt::kLineUp:
      // One row up; on the first row the window starts a record earlier;
      // on the first record nothing changes.
      if (!cur || !top) break;
      if (sb->row > 1) {
        redraw(pcb, top, cur->prev.get(), false, "scroll_up() - wm_del_reg failed");
        break;
      }
      // Records gone above the first row do not count.
      while (PcbTag* p = top->prev.get()) {
        if (reread(pcb, p)) break;
        unlink_tag(sb, p);
      }
      if (top->prev) redraw(pcb, top->prev.get(), top->prev.get(), false, "scroll_up() - wm_del_reg failed");
      break;
    default: sys_err(__LINE__, "ip_scroll() - unexpected case switch");
  }
  if (redraws == sb->b_redraws && len) std::memcpy(h->rec.get(), area.data(), len);
  a11->phase = phase;
}

// ------------------------------------------------ the executor's list --
void ip_scroll_first(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  if (!sb || !window(pcb)) return;
  ip_scroll_start(pcb);
  // BUFFER SCROLLING IMG '1': the list starts at its end, once.
  PdArea3* a3 = pi_area_rec<PdArea3>(pcb, 3);
  if (a3 && a3->buffer_scroll == "1") {
    scroll_to_end(pcb);
    a3->buffer_scroll.set("0");
  } else {
    redraw(pcb, nullptr, nullptr, false, "fill_wnd() - wm_del_reg failed");
  }
}

int ip_scroll_row(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  while (sb && sb->cur) {
    if (int r = reread(pcb, sb->cur.get())) return r;
    drop_cur(pcb, "get_tag() - wm_del_reg failed");
  }
  return 0;
}

void ip_scroll_from(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  if (!sb || !window(pcb)) return;
  free_all_tags(pcb);
  sb->no_more = 0;
  add_tag(pcb, false);
  redraw(pcb, sb->first.get(), sb->first.get(), false, "fill_wnd() - wm_del_reg failed");
}

void ip_scroll_retag(Pcb* pcb) {
  PcbScroll* sb = block(pcb);
  PcbTag* t = sb ? sb->cur.get() : nullptr;
  FmArb* h = pcb->pcf_stream.get();
  if (!t || !h) return;
  uint8_t key[FM_MAX_KEY_LEN];
  size_t n = key_of(h, key, sizeof key);
  if (n == t->key_len && std::memcmp(key, pcb_tag_key(t), n) == 0) t->rid = uint32_t(h->rid);
}
