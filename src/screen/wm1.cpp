// Window manager objects: surfaces, windows, regions, items,
// characteristics and message queues, and their release with their scopes.
#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "screen/wmint.h"

namespace wmi {

State& st() {
  static State s;
  return s;
}

void sys_err(const char* module, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(ut_dbg, sizeof ut_dbg, fmt, ap);
  va_end(ap);
  os_sys_err(module, line);
}

void mark_dirty() { st().dirty = true; }

void Region::clear() {
  size_t n = size_t(rows) * size_t(cols);
  text.assign(n, ' ');
  attr.assign(n, 0);
  colour.assign(n, 0);
  items.clear();
  boxes.clear();
}

namespace {
constexpr const char* kMod = "WM1.C";

template <class T>
T* rec_alloc(WmHandle* h) {
  auto* p = static_cast<T*>(MM_ALLOC(st().pool, sizeof(T)));
  *h = arena::offset_of(p);
  return p;
}

bool scope_ok(int scope, const char* fn) {
  if (scope >= 0 && scope <= com.depth) return true;
  sys_err(kMod, __LINE__, "%s - bad scope %d", fn, scope);
  return false;
}

// The rectangle an item takes in its region. Its last row and column are
// worked out wide: an item's or characteristic's words come from compiled
// records, whatever they hold.
struct Rect {
  int row, col, rows, cols;
  int64_t last_row() const { return int64_t(row) + rows - 1; }
  int64_t last_col() const { return int64_t(col) + cols - 1; }
};
Rect item_rect(const WmItem& it) {
  WmItemGeo g = wm_item_geo(it);
  return Rect{it.row.get(), it.col.get(), g.rows, g.cols};
}
bool inside(const Region& r, const Rect& x) {
  return x.rows >= 1 && x.cols >= 1 && x.row >= 1 && x.col >= 1 && x.last_row() <= r.rows &&
         x.last_col() <= r.cols;
}

// Lays value under select on the cells of the rectangle (clipped).
void lay(Region& r, const Rect& x, uint32_t value, uint32_t select, int colour) {
  for (int i = std::max(1, x.row); i <= std::min<int64_t>(r.rows, x.last_row()); ++i)
    for (int j = std::max(1, x.col); j <= std::min<int64_t>(r.cols, x.last_col()); ++j) {
      size_t k = size_t(i - 1) * size_t(r.cols) + size_t(j - 1);
      r.attr[k] = (r.attr[k] & ~select) | (value & select);
      if (colour >= 0) r.colour[k] = uint8_t(colour);
    }
  mark_dirty();
}

Rect chr_rect(const WmChr& c) { return Rect{c.row.get(), c.col.get(), c.rows.get(), c.cols.get()}; }

void put_item(Region& r, const WmItem& it) {
  ItemSt s;
  s.item = it;
  s.text = item_text(it);
  r.items[{it.row.get(), it.col.get()}] = std::move(s);
  mark_dirty();
}

void apply_chr(Region& r, const WmChr& c, uint32_t select) {
  Rect x = chr_rect(c);
  if (c.attr.get() & wa::kBox) {
    auto same = [&](const Box& b) { return b.row == x.row && b.col == x.col && b.rows == x.rows && b.cols == x.cols; };
    r.boxes.erase(std::remove_if(r.boxes.begin(), r.boxes.end(), same), r.boxes.end());
    r.boxes.push_back(Box{x.row, x.col, x.rows, x.cols, c.attr.get(), c.colour.get()});
    mark_dirty();
    return;
  }
  lay(r, x, c.attr.get(), select, c.colour.get());
}

Region* new_region(Window* w, int rows, int cols) {
  auto r = std::make_unique<Region>();
  r->rec = rec_alloc<WmRegRec>(&r->h);
  r->win = w;
  r->rows = rows;
  r->cols = cols;
  r->rec->rows = uint16_t(rows);
  r->rec->cols = uint16_t(cols);
  r->rec->window = w->h;
  r->clear();
  Region* p = r.get();
  st().regs[p->h] = std::move(r);
  return p;
}

void free_region(Region* r) {
  mm_free(r->rec);
  st().regs.erase(r->h);
}

// Lays the window's regions out: one after another from the top, or from
// the bottom for scroll type 4; numbers them and notes the current one.
void relayout(Window* w) {
  if (w->scroll == 4) {
    int y = w->rows + 1;
    for (int i = int(w->regions.size()) - 1; i >= 0; --i) {
      y -= w->regions[size_t(i)]->rows;
      if (y < 1) {  // the oldest ones leave at the top
        for (int k = 0; k <= i; ++k) free_region(w->regions[size_t(k)]);
        w->regions.erase(w->regions.begin(), w->regions.begin() + i + 1);
        w->current = std::max(0, w->current - (i + 1));
        break;
      }
      w->regions[size_t(i)]->rec->cur_row = uint16_t(y);
    }
  } else {
    int y = 1;
    for (Region* r : w->regions) {
      r->rec->cur_row = uint16_t(y);
      y += r->rows;
    }
  }
  for (size_t i = 0; i < w->regions.size(); ++i) w->regions[i]->rec->number = uint8_t(std::min<size_t>(i + 1, 255));
  if (w->current >= int(w->regions.size())) w->current = int(w->regions.size()) - 1;
  if (w->current < 0) w->current = 0;
  w->rec->region = w->regions.empty() ? 0 : w->regions[size_t(w->current)]->h;
  mark_dirty();
}

void unlink_window(Window* w) {
  if (w->srf) {
    auto& v = w->srf->windows;
    v.erase(std::remove(v.begin(), v.end(), w), v.end());
    w->srf->rec->windows = uint32_t(v.size());
    w->srf = nullptr;
  } else {
    auto& v = st().limbo;
    v.erase(std::remove(v.begin(), v.end(), w), v.end());
  }
  mark_dirty();
}

void link_window(Window* w, Surface* s) {
  w->srf = s;
  w->z = ++st().zstamp;
  s->windows.push_back(w);
  s->rec->windows = uint32_t(s->windows.size());
  w->rec->limbo = 0;
  w->rec->surface = s->h;
  mark_dirty();
}

void to_limbo(Window* w) {
  unlink_window(w);
  st().limbo.push_back(w);
  w->rec->limbo = 1;
  w->rec->surface = 0;
}

void destroy_surface(Surface* s) {
  // Windows of other scopes outlive the surface, in limbo.
  std::vector<Window*> ws = s->windows;
  for (Window* w : ws) to_limbo(w);
  mm_free(s->rec);
  st().srfs.erase(s->h);
  mark_dirty();
}

// Scope release: windows, surfaces and queues of the scope and deeper.
void release_scope(int depth) {
  State& g = st();
  if (!g.pool) return;
  std::vector<Window*> ws;
  for (auto& [h, w] : g.wnds)
    if (w->scope >= depth) ws.push_back(w.get());
  for (Window* w : ws) destroy_window(w);
  std::vector<Surface*> ss;
  for (auto& [h, s] : g.srfs)
    if (s->scope >= depth) ss.push_back(s.get());
  for (Surface* s : ss) destroy_surface(s);
  std::vector<WmHandle> qs;
  for (auto& [h, q] : g.queues)
    if (q->scope >= depth) qs.push_back(h);
  for (WmHandle h : qs) {
    mm_free(arena::at(h));
    g.queues.erase(h);
  }
}
}  // namespace

void register_release() { ut_on_release(Release::Windows, release_scope); }

void destroy_window(Window* w) {
  unlink_window(w);
  for (Region* r : w->regions) free_region(r);
  w->regions.clear();
  mm_free(w->rec);
  st().wnds.erase(w->h);
}

Surface* find_srf(WmHandle h, const char* fn) {
  auto it = st().srfs.find(h);
  if (it != st().srfs.end()) return it->second.get();
  sys_err(kMod, __LINE__, "%s - bad surface handle %u", fn, h);
  return nullptr;
}
Window* find_wnd(WmHandle h, const char* fn) {
  auto it = st().wnds.find(h);
  if (it != st().wnds.end()) return it->second.get();
  // The handle of one of its regions names the window too.
  auto r = st().regs.find(h);
  if (r != st().regs.end()) return r->second->win;
  sys_err(kMod, __LINE__, "%s - bad window handle %u", fn, h);
  return nullptr;
}
Region* find_reg(WmHandle h, const char* fn) {
  auto it = st().regs.find(h);
  if (it != st().regs.end()) return it->second.get();
  sys_err(kMod, __LINE__, "%s - bad region handle %u", fn, h);
  return nullptr;
}

bool text_ref_ok(const WmItem& it, size_t len) {
  uint32_t off = it.text.raw();
  return off != 0 && off >= arena::kGuard && uint64_t(off) + len <= arena::committed();
}

std::string item_text(const WmItem& it) {
  size_t len = it.text_len.get();
  std::string s(len, ' ');
  if (len == 0 || it.text.raw() == 0) return s;
  if (!text_ref_ok(it, len)) {
    sys_err(kMod, __LINE__, "wm - item text at %u is not engine memory", it.text.raw());
    return s;
  }
  std::memcpy(s.data(), it.text.get(), len);
  return s;
}

// One axis of a placement: 0 centres in `area`, n > 0 is the first line,
// -n puts the last line n - 1 before the area's end.
static int place_axis(int p, int size, int area) {
  if (p > 0) return p;
  if (p < 0) return area + p - size + 2;
  int v = (area - size) / 2 + 1;
  return v < 1 ? 1 : v;
}

bool place(Window* w, bool clip) {
  State& g = st();
  int row, col;
  if (w->fixed() && w->place_row == 0) row = status_row() - w->rows + 1;
  else row = place_axis(w->place_row, w->rows, w->fixed() ? g.rows : app_rows());
  col = place_axis(w->place_col, w->cols, g.cols);
  // Ordinary windows lie in the application area (with panning, in the
  // logical screen the area views); status-line windows anywhere on the
  // terminal.
  bool pan = com.panning.get() != 0 && !w->fixed();
  int max_r = pan ? kWmMaxRows : w->fixed() ? g.rows : app_rows();
  int max_c = pan ? kWmMaxCols : g.cols;
  if (row < 1 || col < 1 || row + w->rows - 1 > max_r || col + w->cols - 1 > max_c) {
    if (!clip) return false;
    row = std::max(row, 1);
    col = std::max(col, 1);
  }
  w->row = row;
  w->col = col;
  w->rec->row = int16_t(row);
  w->rec->col = int16_t(col);
  mark_dirty();
  return true;
}

std::vector<Window*> draw_order() {
  State& g = st();
  std::vector<Surface*> ss;
  Surface* top = nullptr;
  for (auto& [h, s] : g.srfs) {
    if (h == com.msg_surface.get()) top = s.get();
    else ss.push_back(s.get());
  }
  std::sort(ss.begin(), ss.end(), [](Surface* a, Surface* b) { return a->z < b->z; });
  if (top) ss.push_back(top);
  std::vector<Window*> out;
  for (Surface* s : ss) {
    std::vector<Window*> ws = s->windows;
    std::sort(ws.begin(), ws.end(), [](Window* a, Window* b) { return a->z < b->z; });
    out.insert(out.end(), ws.begin(), ws.end());
  }
  return out;
}

}  // namespace wmi

using namespace wmi;

// ---------------------------------------------------------------- surfaces --
int wm_create_srf(uint32_t* surface, int scope) {
  State& g = st();
  if (!g.pool) {
    sys_err("WM1.C", __LINE__, "wm_create_srf() - window manager not started");
    return 0;
  }
  if (!surface) {
    sys_err("WM1.C", __LINE__, "wm_create_srf() - null surface");
    return 0;
  }
  if (!scope_ok(scope, "wm_create_srf()")) return 0;
  auto s = std::make_unique<Surface>();
  s->rec = rec_alloc<WmSrfRec>(&s->h);
  s->scope = scope;
  s->z = ++g.zstamp;
  s->rec->scope = uint32_t(scope);
  *surface = s->h;
  g.srfs[s->h] = std::move(s);
  return 1;
}

int wm_destroy_srf(WmHandle surface) {
  Surface* s = find_srf(surface, "wm_destroy_srf()");
  if (!s) return 0;
  // Its windows of the same scope or deeper go with it.
  std::vector<Window*> ws = s->windows;
  for (Window* w : ws)
    if (w->scope >= s->scope) destroy_window(w);
  destroy_surface(s);
  return 1;
}

// ---------------------------------------------------------------- windows --
void INIT_WND(WmWnd* w, int kind, int row, int col, int rows, int cols, int flag) {
  if (!w) return;
  std::memset(static_cast<void*>(w), 0, sizeof *w);
  w->kind = uint8_t(kind);
  w->row = int16_t(row);
  w->col = int16_t(col);
  w->rows = uint16_t(rows < 0 ? 0 : rows);
  w->cols = uint16_t(cols < 0 ? 0 : cols);
  w->flag = uint8_t(flag);
}

WmHandle wm_attach(WmWnd* d, WmHandle surface, int scope) {
  State& g = st();
  if (!d) {
    sys_err("WM1.C", __LINE__, "wm_attach() - null window description");
    return 0;
  }
  d->window = 0;
  d->region = 0;
  d->status = 0;
  Surface* s = find_srf(surface, "wm_attach()");
  if (!s || !scope_ok(scope, "wm_attach()")) return 0;
  if (d->scroll.get() > 4) {
    sys_err("WM1.C", __LINE__, "wm_attach() - bad scroll type %d", d->scroll.get());
    return 0;
  }
  int rows = d->rows.get(), cols = d->cols.get();
  int rr = d->reg_rows.get() ? d->reg_rows.get() : rows;
  int rc = d->reg_cols.get() ? d->reg_cols.get() : cols;
  if (d->scroll.get() == 0) {
    rr = rows;
    rc = cols;
  }
  if (rows < 1 || cols < 1 || rows > kWmMaxRows || cols > kWmMaxCols || rr > rows || rc > cols || rr < 1 || rc < 1) {
    d->status = kWmNoFit;
    return 0;
  }
  auto w = std::make_unique<Window>();
  w->rec = rec_alloc<WmWndRec>(&w->h);
  w->scope = scope;
  w->kind = d->kind.get();
  w->scroll = d->scroll.get();
  w->flag = d->flag.get();
  w->place_row = d->row.get();
  w->place_col = d->col.get();
  w->rows = rows;
  w->cols = cols;
  w->reg_rows = rr;
  w->reg_cols = rc;
  w->rec->rows = uint16_t(rows);
  w->rec->cols = uint16_t(cols);
  w->rec->kind = uint8_t(w->kind);
  w->rec->scroll = uint8_t(w->scroll);
  w->rec->scope = uint32_t(scope);
  if (!place(w.get())) {
    mm_free(w->rec);
    d->status = kWmNoFit;
    return 0;
  }
  Window* p = w.get();
  g.wnds[p->h] = std::move(w);
  p->regions.push_back(new_region(p, rr, rc));
  relayout(p);
  link_window(p, s);
  d->window = p->h;
  d->region = p->regions[0]->h;
  d->surface = surface;
  return p->h;
}

WmHandle WM__ATTACH(WmWnd* w, WmHandle surface, int scope) {
  return wm_attach(w, surface, scope) ? w->region.get() : 0;
}

int wm_detach(WmHandle window, int destroy) {
  Window* w = find_wnd(window, "wm_detach()");
  if (!w) return 0;
  if (destroy) destroy_window(w);
  else if (w->srf) to_limbo(w);
  return 1;
}

int wm_reattach(WmHandle window, WmHandle surface, const WmPlace* where) {
  Window* w = find_wnd(window, "wm_reattach()");
  if (!w) return 0;
  Surface* s = find_srf(surface, "wm_reattach()");
  if (!s) return 0;
  int old_r = w->place_row, old_c = w->place_col;
  if (where) {
    w->place_row = where->row;
    w->place_col = where->col;
  }
  if (!place(w)) {
    w->place_row = old_r;
    w->place_col = old_c;
    place(w);
    return 0;
  }
  unlink_window(w);
  link_window(w, s);
  return 1;
}

int wm_actv(WmHandle window) {
  Window* w = find_wnd(window, "wm_actv()");
  if (!w) return 0;
  w->active = true;
  w->rec->active = 1;
  mark_dirty();
  return 1;
}

int wm_deactv(WmHandle window) {
  Window* w = find_wnd(window, "wm_deactv()");
  if (!w) return 0;
  w->active = false;
  w->rec->active = 0;
  mark_dirty();
  return 1;
}

// ---------------------------------------------------------------- regions --
WmHandle wm_pos_reg(WmHandle window, int number, uint32_t* status) {
  if (status) *status = 0;
  Window* w = find_wnd(window, "wm_pos_reg()");
  if (!w) return 0;
  if (number < 1 || number > kWmMaxRows) {
    sys_err("WM1.C", __LINE__, "wm_pos_reg() - bad region number %d", number);
    return 0;
  }
  if (number <= int(w->regions.size())) {
    w->current = number - 1;
    relayout(w);
    return w->regions[size_t(w->current)]->h;
  }
  if (w->scroll == 0) {
    if (!w->regions.empty()) {
      if (status) *status = kWmNoFit;
      return 0;
    }
    w->regions.push_back(new_region(w, w->rows, w->cols));
    w->current = 0;
    relayout(w);
    return w->regions[0]->h;
  }
  int to_add = number - int(w->regions.size());
  for (int i = 0; i < to_add; ++i) {
    int used = 0;
    for (Region* r : w->regions) used += r->rows;
    if (used + w->reg_rows > w->rows) {
      switch (w->scroll) {
        case 1:  // scroll up by the first region(s)
          while (!w->regions.empty() && used + w->reg_rows > w->rows) {
            used -= w->regions.front()->rows;
            free_region(w->regions.front());
            w->regions.erase(w->regions.begin());
          }
          break;
        case 2:  // page: start again at the top
          for (Region* r : w->regions) free_region(r);
          w->regions.clear();
          break;
        case 3:
          if (status) *status = kWmNoFit;
          relayout(w);
          return 0;
        default:  // 4: the layout drops the oldest
          break;
      }
    }
    w->regions.push_back(new_region(w, w->reg_rows, w->reg_cols));
  }
  w->current = int(w->regions.size()) - 1;
  relayout(w);
  return w->regions.empty() ? 0 : w->regions[size_t(w->current)]->h;
}

WmHandle wm_cur_reg(WmHandle window) {
  Window* w = find_wnd(window, "wm_cur_reg()");
  if (!w || w->regions.empty()) return 0;
  return w->regions[size_t(w->current)]->h;
}

int wm_del_reg(WmHandle window, int number) {
  Window* w = find_wnd(window, "wm_del_reg()");
  if (!w) return 0;
  if (w->scroll == 0) {
    for (Region* r : w->regions) {
      r->clear();
      r->rec->state = 0;
    }
    mark_dirty();
    return 1;
  }
  if (w->regions.empty()) return 1;
  int from = w->current;
  int to = std::min(number, int(w->regions.size())) - 1;
  if (to < from) to = from;
  for (int i = from; i <= to; ++i) free_region(w->regions[size_t(i)]);
  w->regions.erase(w->regions.begin() + from, w->regions.begin() + to + 1);
  w->current = from;
  relayout(w);
  return 1;
}

int wm_write_reg(WmHandle region, std::string_view text, std::span<const WmItem> items, std::span<const WmChr> chrs) {
  Region* r = find_reg(region, "wm_write_reg()");
  if (!r) return 0;
  bool big = text.size() > size_t(r->rows) * size_t(r->cols);
  for (const WmItem& it : items) big = big || !inside(*r, item_rect(it));
  for (const WmChr& c : chrs) big = big || !inside(*r, chr_rect(c));
  if (big) {
    sys_err("WM1.C", __LINE__, "wm_write_reg() - reg too big");
    return 0;
  }
  // A region written without text is cleared: an empty text may have no
  // bytes at all to copy from.
  r->clear();
  if (!text.empty()) std::memcpy(r->text.data(), text.data(), text.size());
  for (const WmItem& it : items) put_item(*r, it);
  for (const WmChr& c : chrs) apply_chr(*r, c, 0xFFFFFFFFu);
  r->rec->state = 0;
  mark_dirty();
  return 1;
}

int wm_upd_reg(WmHandle region, std::span<const WmItem> items, std::span<const WmChr> chrs) {
  Region* r = find_reg(region, "wm_upd_reg()");
  if (!r) return 0;
  bool big = false;
  for (const WmItem& it : items) big = big || !inside(*r, item_rect(it));
  for (const WmChr& c : chrs) big = big || !inside(*r, chr_rect(c));
  if (big) {
    sys_err("WM1.C", __LINE__, "wm_upd_reg() - reg too big");
    return 0;
  }
  for (const WmItem& it : items) put_item(*r, it);
  for (const WmChr& c : chrs) apply_chr(*r, c, 0xFFFFFFFFu);
  return 1;
}

int wm_insert_itm(WmHandle region, const WmItem* item, uint32_t value, uint32_t select, int) {
  Region* r = find_reg(region, "wm_insert_itm()");
  if (!r) return 0;
  if (!item) {
    sys_err("WM1.C", __LINE__, "wm_insert_itm() - null item");
    return 0;
  }
  Rect x = item_rect(*item);
  if (!inside(*r, x)) {
    sys_err("WM1.C", __LINE__, "wm_insert_itm() - item at %d,%d passes its region", x.row, x.col);
    return 0;
  }
  if (r->items.count({x.row, x.col})) return 0;
  if (item->needs_cnv.get() && st().itoe) st().itoe(const_cast<WmItem*>(item));
  put_item(*r, *item);
  lay(*r, x, value, select, -1);
  return 1;
}

int wm_remove_itm(WmHandle region, const WmItem* item, uint32_t mask, int) {
  Region* r = find_reg(region, "wm_remove_itm()");
  if (!r) return 0;
  if (!item) {
    sys_err("WM1.C", __LINE__, "wm_remove_itm() - null item");
    return 0;
  }
  auto it = r->items.find({item->row.get(), item->col.get()});
  if (it == r->items.end()) return 0;
  lay(*r, item_rect(it->second.item), 0, mask, -1);
  r->items.erase(it);
  mark_dirty();
  return 1;
}

int wm_upd_itm(WmHandle region, WmItem* item, uint32_t value, uint32_t select, int flag) {
  if (!region || !item) {
    sys_err("WM1.C", __LINE__, "wm_upd_itm() - null region or item");
    return 0;
  }
  Region* r = find_reg(region, "wm_upd_itm()");
  if (!r) return 0;
  Rect x = item_rect(*item);
  if (!inside(*r, x)) {
    sys_err("WM1.C", __LINE__, "wm_upd_itm() - item at %d,%d passes its region", x.row, x.col);
    return 0;
  }
  if (item->needs_cnv.get() && st().itoe) st().itoe(item);
  put_item(*r, *item);
  if (select || flag) lay(*r, x, value, select, -1);
  item->upd = r->win->srf ? wmupd::kShown : wmupd::kLater;
  return 1;
}

int wm_upd_chr(WmHandle region, const WmChr* chr, uint32_t select) {
  Region* r = find_reg(region, "wm_upd_chr()");
  if (!r) return 0;
  if (!chr) {
    sys_err("WM1.C", __LINE__, "wm_upd_chr() - null characteristic");
    return 0;
  }
  Window* w = r->win;
  if (w->regions.empty() || w->regions[size_t(w->current)] != r) return 0;
  apply_chr(*r, *chr, select);
  return 1;
}

// ---------------------------------------------------------- message queues --
WmHandle wm_msgq_create(int scope) {
  State& g = st();
  if (!g.pool) {
    sys_err("WM1.C", __LINE__, "wm_msgq_create() - window manager not started");
    return 0;
  }
  if (!scope_ok(scope, "wm_msgq_create()")) return 0;
  auto q = std::make_unique<MsgQueue>();
  rec_alloc<rec::U32>(&q->h);
  q->scope = scope;
  WmHandle h = q->h;
  g.queues[h] = std::move(q);
  return h;
}

static MsgQueue* find_q(WmHandle h, const char* fn) {
  auto it = st().queues.find(h);
  if (it != st().queues.end()) return it->second.get();
  sys_err("WM1.C", __LINE__, "%s - bad message queue %u", fn, h);
  return nullptr;
}

int wm_msgq_add(WmHandle h, uint32_t key, int type, std::string_view text) {
  MsgQueue* q = find_q(h, "wm_msgq_add()");
  if (!q) return 0;
  q->msgs.push_back({key, uint16_t(type < 0 ? 0 : type), std::string(text)});
  return 1;
}

int wm_msgq_clear(WmHandle h) {
  MsgQueue* q = find_q(h, "wm_msgq_clear()");
  if (!q) return 0;
  q->msgs.clear();
  return 1;
}

int wm_msgq_count(WmHandle h) {
  MsgQueue* q = find_q(h, "wm_msgq_count()");
  return q ? int(q->msgs.size()) : 0;
}

void wm_set_msg_reader(WmMsgReader reader) { st().reader = reader; }

void wm_counts(int* surfaces, int* windows, int* regions) {
  if (surfaces) *surfaces = int(st().srfs.size());
  if (windows) *windows = int(st().wnds.size());
  if (regions) *regions = int(st().regs.size());
}
