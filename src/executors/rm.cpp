// Reports: creation and registry, clean-up, windows and the regions of
// matrix windows.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "executors/rm.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {

constexpr const char* kMod = "RM";

// The registry of live reports (a list through their control blocks) and
// the engine's report counter.
struct Registry {
  MmPool pool = 0;
  RmRpt* first = nullptr;
  uint16_t counter = 0;
};
Registry& reg() {
  static Registry g;
  return g;
}

void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

}  // namespace

void rm_init() {
  Registry& g = reg();
  if (!g.pool || mm_pool_scope(g.pool) < 0) {
    g.pool = mm_create_pool(" RM        ", 0, 0);
    if (!g.pool) sys_err(__LINE__, "init - Failed to create report file");
    g.first = nullptr;
  }
  g.counter = 0;
}

RmRpt* rm_find(uint16_t number) {
  for (RmRpt* r = reg().first; r; r = r->next.get())
    if (r->number == number) return r;
  return nullptr;
}

RmRpt* rm_create(const char* title, const char* prt_name, int width, char path[255], int scope) {
  Registry& g = reg();
  if (!g.pool || mm_pool_scope(g.pool) < 0) {
    uint16_t counter = g.counter;
    rm_init();
    g.counter = counter;
  }
  width = std::clamp(width, 1, kRmMaxCols);
  auto* r = static_cast<RmRpt*>(MM_ALLOC(g.pool, sizeof(RmRpt)));
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->pool = mm_create_pool(nullptr, scope, 0);
  r->scope = uint16_t(scope);
  auto* pc = static_cast<PmCtl*>(MM_ALLOC(r->pool, sizeof(PmCtl)));
  std::memset(static_cast<void*>(pc), 0, sizeof *pc);
  std::memset(static_cast<void*>(&pc->format), ' ', sizeof *pc - offsetof(PmCtl, format));
  pc->print_date.day = 0xFFFFFFFFu;
  pc->name.set(prt_name ? prt_name : "");
  r->pc = Ref<PmCtl>::of(pc);
  r->number = g.counter++;
  r->page_ended = 1;
  r->width = uint16_t(width);
  r->name.set(title ? title : "");
  r->ident.zero();
  r->ident2.clear();
  std::memset(r->opts.data(), ' ', kRmOptsLen);
  r->work_size = 32;
  r->work = Ref<uint8_t>::of(static_cast<uint8_t*>(MM_ALLOC(r->pool, 32)));
  // Image 1: the blank-line image, as wide as the page and without rows.
  auto* blank = static_cast<RmImg*>(MM_ALLOC(r->pool, kRmImgHead));
  std::memset(static_cast<void*>(blank), 0, kRmImgHead);
  blank->number = 1;
  blank->col = 1;
  blank->cols = uint32_t(width);
  blank->sep = ' ';
  r->cur_img = Ref<RmImg>::of(blank);
  r->img_count = 1;
  r->print_img_size = 32;
  r->print_img = Ref<RmImg>::of(static_cast<RmImg*>(MM_ALLOC(r->pool, 32)));
  r->status = kRmOk;
  // The heading chain's page buffer, then the body chain's, current.
  if (!rm_start(r)) ut_unwind(r->status ? int(r->status) : 1);
  r->head = r->cur;
  r->cur.reset();
  if (!rm_start(r)) ut_unwind(r->status ? int(r->status) : 1);
  r->body = r->cur;
  r->next = Ref<RmRpt>::of(g.first);
  g.first = r;
  char where[255];
  std::memset(where, ' ', sizeof where);
  r->status = pm_bld(pc, where) ? kRmOk : kRmNoFile;
  if (path) std::memcpy(path, where, sizeof where);
  return r;
}

int rm_cleanup(RmRpt* r) {
  if (!r) return 1;
  PmCtl* pc = r->pc.get();
  const PdArea1& o = rm_opts(r);
  auto yes = [](const rec::Text<1>& t) { return uint8_t(t[0] == '1' ? 1 : 0); };
  pc->mode = o.print_mode;
  pc->disposition = o.disposition;
  pc->copies = o.copies;
  pc->notify = yes(o.notify);
  pc->banner = yes(o.banner);
  pc->print = yes(o.print);
  std::memcpy(&pc->print_date, o.print_date.data(), sizeof pc->print_date);
  pc->priority.set(o.priority.view());
  pc->format.set(o.format.view());
  pc->rpt_options.set(o.report_opts.view());
  if (pc->stream && !pm_cleanup(pc)) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "rm_cleanup - pm cleanup failed(0x%x)", unsigned(pc->status));
    os_sys_err(kMod, __LINE__);
  }
  Registry& g = reg();
  RmRpt* prev = nullptr;
  for (RmRpt* x = g.first; x; prev = x, x = x->next.get())
    if (x == r) {
      if (prev) prev->next = x->next;
      else g.first = x->next.get();
      break;
    }
  for (Ref<RmBuf> chain : {r->head, r->body}) {
    RmBuf* page = chain.get();
    if (!page) continue;
    RmBuf* b = page->next.get();
    while (b != page) {
      RmBuf* n = b->next.get();
      rm_destroy_buf(r, b);
      b = n;
    }
    rm_destroy_buf(r, page);
  }
  mm_destroy_pool(r->pool);
  mm_free(r);
  return 1;
}

// --- windows ---

RmWnd* wnd_fill(RmRpt* r, RmBuf* b, const RmWndDesc& d) {
  const char* bad = nullptr;
  if (b->next_wnd == 0) bad = "wnd_fill - bad window id";
  else if (d.reg_rows <= 0 || d.reg_rows > kRmMaxRows) bad = "wnd_fill - bad row size ";
  else if (d.reg_cols <= 0 || d.reg_cols > int(b->width)) bad = "wnd_fill - bad col size ";
  else if (d.rows < d.reg_rows) bad = "wnd_fill - bad max row  ";
  else if (d.cols < d.reg_cols || d.cols > int(b->width)) bad = "wnd_fill - bad max col  ";
  else if (d.kind < 1 || d.kind > 3) bad = "wnd_fill - bad scroll type";
  if (bad) {
    sys_err(__LINE__, bad);
    return nullptr;
  }
  auto* w = static_cast<RmWnd*>(MM_ALLOC(r->pool, sizeof(RmWnd)));
  std::memset(static_cast<void*>(w), 0, sizeof *w);
  w->id = b->next_wnd;
  b->next_wnd = uint16_t(b->next_wnd + 1);
  w->kind = uint16_t(d.kind);
  w->rows = uint32_t(d.rows);
  w->cols = uint32_t(d.cols);
  w->reg_rows = uint32_t(d.reg_rows);
  w->reg_cols = uint32_t(d.reg_cols);
  w->across = uint32_t(d.cols / d.reg_cols);
  w->down = uint32_t(d.rows / d.reg_rows);
  w->count = w->across * w->down;
  if (d.kind == 1) {
    auto* g = static_cast<RmRegions*>(MM_ALLOC(r->pool, sizeof(RmRegions)));
    std::memset(static_cast<void*>(g), 0, sizeof *g);
    w->regions = Ref<RmRegions>::of(g);
  }
  if (b->wnd_count >= b->wnd_cap) {
    uint32_t cap = std::max<uint32_t>(4, b->wnd_cap * 2);
    auto* slots = static_cast<Ref<RmWnd>*>(MM_ALLOC(r->pool, cap * sizeof(Ref<RmWnd>)));
    std::memset(static_cast<void*>(slots), 0, cap * sizeof(Ref<RmWnd>));
    if (b->wnds) {
      std::memcpy(static_cast<void*>(slots), b->wnds.get(), b->wnd_count * sizeof(Ref<RmWnd>));
      mm_free(b->wnds.get());
    }
    b->wnds = Ref<Ref<RmWnd>>::of(slots);
    b->wnd_cap = cap;
  }
  b->wnds.get()[b->wnd_count] = Ref<RmWnd>::of(w);
  b->wnd_count = b->wnd_count + 1;
  return w;
}

void rm_wnd_release(RmRpt* r, RmWnd* w) {
  if (RmRegions* g = w->regions.get()) {
    for (uint32_t k = 0; k < g->count; ++k)
      if (RmBuf* rb = g->bufs.get()[k].get()) rm_destroy_buf(r, rb);
    if (g->bufs) mm_free(g->bufs.get());
    mm_free(g);
  }
  w->regions.reset();
  w->id = 0;
  w->cur = 0;
}

RmWnd* rm_attach(RmRpt* r, int buf_id, const RmWndDesc& d) {
  RmBuf* b = rm_buf(r, buf_id);
  if (!b) {
    r->status = kRmBadBuf;
    return nullptr;
  }
  return wnd_fill(r, b, d);
}

int rm_detach(RmRpt* r, int buf_id, int wnd_id) {
  RmBuf* b = rm_buf(r, buf_id);
  Ref<RmWnd>* w = b ? b->wnds.get() : nullptr;
  uint32_t i = 0;
  while (w && i < b->wnd_count && !(w[i] && w[i]->id == wnd_id)) ++i;
  if (!w || i >= b->wnd_count) {
    sys_err(__LINE__, "attach - Window read failed");
    return 0;
  }
  RmWnd* wnd = w[i].get();
  if (wnd->kind == 1)
    while (!rm_flush_reg(r, b, wnd)) {
    }
  rm_wnd_release(r, wnd);
  for (uint32_t k = i + 1; k < b->wnd_count; ++k) w[k - 1] = w[k];
  b->wnd_count = b->wnd_count - 1;
  w[b->wnd_count].reset();
  return 1;
}

int rm_flush_reg(RmRpt* r, RmBuf* b, RmWnd* w) {
  RmRegions* g = w->regions.get();
  if (!g || g->count == 0) {
    w->cur = 0;
    return 1;
  }
  Ref<RmBuf>* bufs = g->bufs.get();
  uint32_t down = std::max<uint32_t>(w->down, 1), rcols = w->reg_cols;
  std::vector<bool> used(g->count, false);
  // Regions fill down a column of regions, then across: region k sits in
  // row k % down, column k / down. Each row of regions lands below what the
  // buffer holds in the window's columns, region beside region.
  for (uint32_t row = 0; row < down; ++row) {
    if (row >= g->count) break;
    RmBuf* first = bufs[row].get();
    int wcol = int(w->start_col ? w->start_col.get() : 1);
    uint32_t line;
    if (b->last > 0) {
      line = 1 + rm_depth(b, wcol, wcol + int(w->cols) - 1) + first->pending;
    } else {
      b->pending = b->pending + first->pending;
      line = 1;
    }
    first->pending = 0;
    merge_buf(r, first, b, wcol, int(line), true);
    used[row] = true;
    for (uint32_t k = row + down; k < g->count; k += down) {
      RmBuf* rb = bufs[k].get();
      int col = wcol + int((k / down) * rcols);
      if (rm_depth(b, col, col + int(rcols) - 1) >= line) continue;  // kept for later
      merge_buf(r, rb, b, col, int(line), true);
      used[k] = true;
    }
  }
  uint32_t left = 0;
  for (uint32_t k = 0; k < g->count; ++k) {
    if (used[k]) rm_destroy_buf(r, bufs[k].get());
    else bufs[left++] = bufs[k];
  }
  for (uint32_t k = left; k < g->count; ++k) bufs[k].reset();
  g->count = left;
  w->cur = left;
  return left == 0 ? 1 : 0;
}
