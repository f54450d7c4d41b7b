// Window manager: the screen and the input wait. Composition of the
// windows into the terminal's cells (only changed cells go to the driver),
// wm_show with field editing, panning and messages, the system-error window,
// start and end, suspend and resume.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>

#include <sys/ioctl.h>
#include <unistd.h>

#include "files/fm.h"
#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "foundation/ut.h"
#include "screen/wmint.h"

namespace wmi {

int DriverSource::read(int timeout_ms) {
  if (!back.empty()) {
    int b = uint8_t(back[0]);
    back.erase(0, 1);
    return b;
  }
  if (!events.empty()) {
    int e = events.front();
    events.pop_front();
    return e;
  }
  return drv ? drv->read(timeout_ms) : kTmEof;
}

namespace {
constexpr const char* kMod = "WM2.C";
std::string g_init_err;
int g_init_code = 0;

// ------------------------------------------------------------ composition --
uint16_t visual(uint32_t a) {
  uint16_t v = 0;
  if (a & wa::kBright) v |= tmv::kBold;
  if (a & wa::kInverse) v |= tmv::kReverse;
  if (a & wa::kUnderline) v |= tmv::kUnderline;
  if (a & wa::kBlink) v |= tmv::kBlink;
  if (a & wa::kDim) v |= tmv::kDim;
  return v;
}

// Rows below this one take no drawing (0: the terminal's last row). An
// ordinary window shows in the application area only: the status line and
// the message line stay whole whatever lies beyond the area.
int clip_rows = 0;

TmCell* cell_at(int sr, int sc) {
  State& g = st();
  if (sr < 1 || sc < 1 || sr > (clip_rows ? clip_rows : g.rows) || sc > g.cols) return nullptr;
  return &g.back[size_t(sr - 1) * size_t(g.cols) + size_t(sc - 1)];
}

void draw_cell(int sr, int sc, uint8_t ch, uint32_t attr, uint8_t colour, bool active) {
  TmCell* c = cell_at(sr, sc);
  if (!c) return;
  if (!active) attr &= ~wa::kInactiveDrop;
  if (attr & wa::kHidden) ch = ' ';
  if ((attr & wa::kFill) && (attr & wa::kInput) && ch == ' ') ch = '_';
  if (ch < 32 || ch == 127) ch = ' ';
  *c = TmCell{ch, colour, visual(attr)};
}

void draw_box(Window* w, Region* r, const Box& b, int base_r, int base_c) {
  uint16_t v = visual(w->active ? b.attr : (b.attr & ~wa::kInactiveDrop)) | tmv::kLine;
  auto put = [&](int64_t i, int64_t j, char ch) {
    if (i < 1 || j < 1 || i > r->rows || j > r->cols) return;
    if (TmCell* c = cell_at(base_r + int(i) - 1, base_c + int(j) - 1)) *c = TmCell{uint8_t(ch), b.colour, v};
  };
  // A box may pass its region (its words are a characteristic's, whatever
  // they hold): its lines are drawn over the region's cells alone.
  const int64_t r2 = int64_t(b.row) + b.rows - 1, c2 = int64_t(b.col) + b.cols - 1;
  const int64_t rows = r->rows, cols = r->cols;
  if (b.rows == 1) {
    for (int64_t j = std::max<int64_t>(b.col, 1); j <= std::min(c2, cols); ++j) put(b.row, j, 'q');
  } else if (b.cols == 1) {
    for (int64_t i = std::max<int64_t>(b.row, 1); i <= std::min(r2, rows); ++i) put(i, b.col, 'x');
  } else {
    for (int64_t j = std::max<int64_t>(int64_t(b.col) + 1, 1); j < std::min(c2, cols + 1); ++j) {
      put(b.row, j, 'q');
      put(r2, j, 'q');
    }
    for (int64_t i = std::max<int64_t>(int64_t(b.row) + 1, 1); i < std::min(r2, rows + 1); ++i) {
      put(i, b.col, 'x');
      put(i, c2, 'x');
    }
    put(b.row, b.col, 'l');
    put(b.row, c2, 'k');
    put(r2, b.col, 'm');
    put(r2, c2, 'j');
  }
}

void draw_window(Window* w) {
  State& g = st();
  clip_rows = w->fixed() ? 0 : app_rows();
  int off_r = w->fixed() ? 0 : g.pan_r, off_c = w->fixed() ? 0 : g.pan_c;
  int top = w->row - off_r, left = w->col - off_c;
  for (int i = 0; i < w->rows; ++i)
    for (int j = 0; j < w->cols; ++j)
      if (TmCell* c = cell_at(top + i, left + j)) *c = TmCell{};
  for (Region* r : w->regions) {
    int base_r = top + r->top() - 1, base_c = left;
    int vis_rows = std::min(r->rows, w->rows - r->top() + 1);
    int vis_cols = std::min(r->cols, w->cols);
    for (int i = 1; i <= vis_rows; ++i)
      for (int j = 1; j <= vis_cols; ++j) {
        size_t k = size_t(i - 1) * size_t(r->cols) + size_t(j - 1);
        draw_cell(base_r + i - 1, base_c + j - 1, r->text[k], r->attr[k], r->colour[k], w->active);
      }
    for (auto& [pos, s] : r->items) {
      WmItemGeo ig = wm_item_geo(s.item);
      const std::string& t = s.edited ? s.edit : s.text;
      bool blank = s.item.dspl_mode.get() == 2 && !s.edited;
      for (int idx = 0; idx < ig.len; ++idx) {
        int ir = s.item.row.get() + idx / ig.cols, ic = s.item.col.get() + idx % ig.cols;
        if (ir < 1 || ic < 1 || ir > vis_rows || ic > vis_cols) continue;
        size_t k = size_t(ir - 1) * size_t(r->cols) + size_t(ic - 1);
        uint8_t ch = blank || size_t(idx) >= t.size() ? ' ' : uint8_t(t[size_t(idx)]);
        draw_cell(base_r + ir - 1, base_c + ic - 1, ch, r->attr[k], r->colour[k], w->active);
      }
    }
    for (const Box& b : r->boxes) draw_box(w, r, b, base_r, base_c);
  }
}

void draw_text(int row, int col, std::string_view s, uint16_t vis) {
  for (size_t i = 0; i < s.size(); ++i) {
    uint8_t ch = uint8_t(s[i]);
    if (ch < 32 || ch == 127) ch = ' ';
    if (TmCell* c = cell_at(row, col + int(i))) *c = TmCell{ch, 0, vis};
  }
}

void draw_msg_line() {
  State& g = st();
  std::string text;
  int type = 0;
  size_t more = 0;
  if (!g.sys_line.empty()) {
    text = g.sys_line;
    type = 2;
  } else if (g.msg_at < g.msgs.size()) {
    text = g.msgs[g.msg_at].text;
    type = g.msgs[g.msg_at].type;
    more = g.msgs.size() - g.msg_at - 1;
  }
  std::string tail;
  if (more) tail = " (+" + std::to_string(more) + ")";
  if (!g.digits.empty()) tail += "  Option: " + g.digits;
  if (text.empty() && tail.empty()) return;
  int row = msg_row();
  for (int c = 1; c <= g.cols; ++c) *cell_at(row, c) = TmCell{};
  int room = std::max(0, g.cols - int(tail.size()));
  if (int(text.size()) > room) text.resize(size_t(room));
  uint16_t vis = type >= 2 ? uint16_t(tmv::kReverse | tmv::kBold) : type == 1 ? tmv::kBold : 0;
  draw_text(row, 1, text, vis);
  draw_text(row, g.cols - int(tail.size()) + 1, tail, tmv::kBold);
}

void draw_overlay() {
  State& g = st();
  if (g.overlay.empty()) return;
  int w = 0;
  for (auto& l : g.overlay) w = std::max(w, int(l.size()));
  w = std::min(w + 4, g.cols);
  int h = std::min(int(g.overlay.size()) + 2, g.rows);
  int top = std::max(1, (g.rows - h) / 2 + 1), left = std::max(1, (g.cols - w) / 2 + 1);
  for (int i = 0; i < h; ++i)
    for (int j = 0; j < w; ++j) {
      TmCell* c = cell_at(top + i, left + j);
      if (!c) continue;
      bool edge_r = i == 0 || i == h - 1, edge_c = j == 0 || j == w - 1;
      char ch = ' ';
      if (edge_r && edge_c) ch = i == 0 ? (j == 0 ? 'l' : 'k') : (j == 0 ? 'm' : 'j');
      else if (edge_r) ch = 'q';
      else if (edge_c) ch = 'x';
      *c = (edge_r || edge_c) ? TmCell{uint8_t(ch), 0, uint16_t(tmv::kLine | tmv::kBold)} : TmCell{};
    }
  int shown = 0;
  for (int i = 0; i < h - 2 && size_t(i) < g.overlay.size(); ++i, ++shown)
    draw_text(top + 1 + i, left + 2, std::string_view(g.overlay[size_t(i)]).substr(0, size_t(std::max(0, w - 4))),
              i == 0 ? tmv::kBold : 0);
  // The cursor waits after the last line shown, the question.
  const std::string& last = g.overlay[size_t(std::max(shown, 1) - 1)];
  g.ov_r = std::min(top + std::max(shown, 1), g.rows);
  g.ov_c = std::min(left + 2 + std::min(int(last.size()), std::max(0, w - 4)), g.cols);
}
}  // namespace

void compose() {
  State& g = st();
  g.back.assign(size_t(g.rows) * size_t(g.cols), TmCell{});
  for (Window* w : draw_order()) draw_window(w);
  clip_rows = 0;
  draw_msg_line();
  draw_overlay();
  g.dirty = false;
}

void refresh_screen() {
  State& g = st();
  if (!g.drv) return;
  if (g.dirty || g.back.size() != size_t(g.rows) * size_t(g.cols)) compose();
  if (g.front.size() != g.back.size()) {
    g.front.assign(g.back.size(), TmCell{});
    g.full = true;
  }
  for (int r = 1; r <= g.rows; ++r)
    for (int c = 1; c <= g.cols; ++c) {
      size_t k = size_t(r - 1) * size_t(g.cols) + size_t(c - 1);
      if (g.full || g.back[k] != g.front[k]) {
        g.drv->put(r, c, g.back[k]);
        g.front[k] = g.back[k];
      }
    }
  int sr = std::clamp(g.cur_r - g.pan_r, 1, g.rows), sc = std::clamp(g.cur_c - g.pan_c, 1, g.cols);
  if (!g.overlay.empty()) {
    sr = g.ov_r;
    sc = g.ov_c;
  }
  g.drv->flush(sr, sc, g.full);
  g.full = false;
}

namespace {
// ------------------------------------------------------------ the cursor --
void extent(int* rows, int* cols) {
  *rows = 0;
  *cols = 0;
  for (Window* w : draw_order()) {
    if (w->fixed()) continue;
    *rows = std::max(*rows, w->row + w->rows - 1);
    *cols = std::max(*cols, w->col + w->cols - 1);
  }
}

bool pan_on() { return com.panning.get() != 0; }
bool vpan_on() { return pan_on() && !(com.panning.get() & 2); }


// A logical position from a position within a window.
void to_logical(Window* w, int wrow, int wcol, int* lr, int* lc) {
  State& g = st();
  *lr = w->row + wrow - 1 + (w->fixed() ? g.pan_r : 0);
  *lc = w->col + wcol - 1 + (w->fixed() ? g.pan_c : 0);
}

struct Hit {
  Window* w = nullptr;
  Region* r = nullptr;
  int rr = 0, rc = 0;       // within the region
  ItemSt* item = nullptr;
  int idx = -1;             // position in the item's text
};

Hit hit_at(int lr, int lc) {
  State& g = st();
  Hit h;
  std::vector<Window*> order = draw_order();
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    Window* w = *it;
    if (!w->fixed() && lr - g.pan_r > app_rows()) continue;  // not shown there
    int wr = w->fixed() ? lr - g.pan_r : lr, wc = w->fixed() ? lc - g.pan_c : lc;
    if (wr < w->row || wr >= w->row + w->rows || wc < w->col || wc >= w->col + w->cols) continue;
    h.w = w;
    int wrow = wr - w->row + 1, wcol = wc - w->col + 1;
    for (Region* r : w->regions) {
      if (wrow < r->top() || wrow >= r->top() + r->rows || wcol > r->cols) continue;
      h.r = r;
      h.rr = wrow - r->top() + 1;
      h.rc = wcol;
      for (auto& [pos, s] : r->items) {
        WmItemGeo ig = wm_item_geo(s.item);
        int dr = h.rr - s.item.row.get(), dc = h.rc - s.item.col.get();
        if (dr < 0 || dc < 0 || dr >= ig.rows || dc >= ig.cols) continue;
        int idx = dr * ig.cols + dc;
        if (idx >= ig.len) continue;
        h.item = &s;
        h.idx = idx;
        break;
      }
      break;
    }
    return h;
  }
  return h;
}

// Keeps the cursor in the application area of the terminal (rows 1 to
// app_rows(); the status and message lines below take no cursor, except on
// a field of a status-line window): within the logical screen that the
// windows cover (with panning) or the view (without), panning the view to
// it where panning allows.
void keep_cursor() {
  State& g = st();
  Hit h = hit_at(g.cur_r, g.cur_c);
  if (h.w && h.w->fixed() && h.item) return;
  int area = app_rows(), er, ec;
  extent(&er, &ec);
  if (vpan_on()) {
    g.cur_r = std::clamp(g.cur_r, 1, std::max(er, area));
    int want = std::clamp(g.pan_r, g.cur_r - area, g.cur_r - 1);
    if (want != g.pan_r) {
      g.pan_r = std::max(0, want);
      mark_dirty();
    }
  } else {
    g.cur_r = std::clamp(g.cur_r, g.pan_r + 1, g.pan_r + area);
  }
  if (pan_on()) {
    g.cur_c = std::clamp(g.cur_c, 1, std::max(ec, g.cols));
    int want = std::clamp(g.pan_c, g.cur_c - g.cols, g.cur_c - 1);
    if (want != g.pan_c) {
      g.pan_c = std::max(0, want);
      mark_dirty();
    }
  } else {
    g.cur_c = std::clamp(g.cur_c, g.pan_c + 1, g.pan_c + g.cols);
  }
}

uint32_t cell_attr(Region* r, int rr, int rc) {
  return r->attr[size_t(rr - 1) * size_t(r->cols) + size_t(rc - 1)];
}

// The positions of an item's text that take typing.
std::vector<int> edit_positions(Window* w, Region* r, const ItemSt& s) {
  std::vector<int> pos;
  if (!w->active || !w->srf) return pos;
  WmItemGeo ig = wm_item_geo(s.item);
  int elen = s.item.edit_len.get() ? std::min<int>(s.item.edit_len.get(), ig.len) : ig.len;
  for (int i = 0; i < elen; ++i) {
    int ir = s.item.row.get() + i / ig.cols, ic = s.item.col.get() + i % ig.cols;
    if (ir < 1 || ic < 1 || ir > r->rows || ic > r->cols) continue;
    if (r->top() + ir - 1 > w->rows) continue;
    if (cell_attr(r, ir, ic) & wa::kInput) pos.push_back(i);
  }
  return pos;
}

void cursor_to_item(Window* w, Region* r, const ItemSt& s, int idx) {
  WmItemGeo ig = wm_item_geo(s.item);
  int ir = s.item.row.get() + idx / ig.cols, ic = s.item.col.get() + idx % ig.cols;
  to_logical(w, r->top() + ir - 1, ic, &st().cur_r, &st().cur_c);
  keep_cursor();
}

std::string& buffer(ItemSt& s) {
  if (!s.edited) {
    s.edit = s.text;
    s.edited = true;
  }
  return s.edit;
}

uint8_t upper(uint8_t c) {
  if (c >= 'a' && c <= 'z') return uint8_t(c - 32);
  if (c >= 224 && c <= 254 && c != 247) return uint8_t(c - 32);  // ISO 8859-1 letters
  return c;
}
uint8_t lower(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return uint8_t(c + 32);
  if (c >= 192 && c <= 222 && c != 215) return uint8_t(c + 32);
  return c;
}

// ------------------------------------------------------------- fields --
struct Field {
  int lr, lc;
  Window* w;
  Region* r;
  ItemSt* s;
};
std::vector<Field> fields() {
  std::vector<Field> out;
  for (Window* w : draw_order()) {
    if (!w->active) continue;
    for (Region* r : w->regions)
      for (auto& [pos, s] : r->items) {
        std::vector<int> p = edit_positions(w, r, s);
        if (p.empty()) continue;
        WmItemGeo ig = wm_item_geo(s.item);
        int lr, lc;
        to_logical(w, r->top() + s.item.row.get() + p[0] / ig.cols - 1, s.item.col.get() + p[0] % ig.cols, &lr, &lc);
        out.push_back({lr, lc, w, r, &s});
      }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Field& a, const Field& b) { return a.lr != b.lr ? a.lr < b.lr : a.lc < b.lc; });
  return out;
}

void go_field(const Field& f) { cursor_to_item(f.w, f.r, *f.s, edit_positions(f.w, f.r, *f.s)[0]); }

void field_move(uint16_t code) {
  State& g = st();
  std::vector<Field> fs = fields();
  if (fs.empty()) {
    g.drv->beep();
    return;
  }
  if (code == opt::kFirstField) return go_field(fs.front());
  if (code == opt::kLastField) return go_field(fs.back());
  // The reference point: the start of the field under the cursor, else the cursor.
  int rr = g.cur_r, rc = g.cur_c;
  Hit h = hit_at(g.cur_r, g.cur_c);
  for (const Field& f : fs)
    if (h.item == f.s) {
      rr = f.lr;
      rc = f.lc;
    }
  auto before = [&](const Field& f) { return f.lr < rr || (f.lr == rr && f.lc < rc); };
  auto after = [&](const Field& f) { return f.lr > rr || (f.lr == rr && f.lc > rc); };
  if (code == opt::kNextField) {
    for (const Field& f : fs)
      if (after(f)) return go_field(f);
    return go_field(fs.front());
  }
  for (auto it = fs.rbegin(); it != fs.rend(); ++it)
    if (before(*it)) return go_field(*it);
  go_field(fs.back());
}

void new_line() {
  State& g = st();
  int row = g.cur_r + 1;
  for (const Field& f : fields())
    if (f.lr == row) return go_field(f);
  Hit h = hit_at(g.cur_r, g.cur_c);
  g.cur_r = row;
  if (h.w) {
    int lr, lc;
    to_logical(h.w, 1, 1, &lr, &lc);
    g.cur_c = lc;
  } else {
    g.cur_c = 1;
  }
  keep_cursor();
}

// ------------------------------------------------------------- editing --
// The editable item under the cursor, with its typing positions and the
// cursor's place among them.
struct Target {
  Hit h;
  std::vector<int> pos;
  int k = -1;
  explicit operator bool() const { return k >= 0; }
};
Target target() {
  Target t;
  t.h = hit_at(st().cur_r, st().cur_c);
  if (!t.h.item || !t.h.w) return t;
  t.pos = edit_positions(t.h.w, t.h.r, *t.h.item);
  auto it = std::find(t.pos.begin(), t.pos.end(), t.h.idx);
  if (it != t.pos.end()) t.k = int(it - t.pos.begin());
  return t;
}

void move_to(Target& t, int k) {
  t.k = std::clamp(k, 0, int(t.pos.size()) - 1);
  cursor_to_item(t.h.w, t.h.r, *t.h.item, t.pos[size_t(t.k)]);
}

void delete_at(std::string& b, const std::vector<int>& pos, int k) {
  for (size_t j = size_t(k); j + 1 < pos.size(); ++j) b[size_t(pos[j])] = b[size_t(pos[j + 1])];
  b[size_t(pos.back())] = ' ';
}

bool insert_at(std::string& b, const std::vector<int>& pos, int k, char c) {
  if (b[size_t(pos.back())] != ' ') return false;  // would push a character out
  for (size_t j = pos.size() - 1; j > size_t(k); --j) b[size_t(pos[j])] = b[size_t(pos[j - 1])];
  b[size_t(pos[size_t(k)])] = c;
  return true;
}

void type_char(uint8_t c) {
  State& g = st();
  Target t = target();
  if (!t) {
    if (c >= '0' && c <= '9' && g.digits.size() < 3) {
      g.digits.push_back(char(c));
      mark_dirty();
    } else {
      g.drv->beep();
    }
    return;
  }
  // A field filled to its last place takes nothing more until the cursor
  // moves: typing on would replace the last character again and again.
  if (g.filled) {
    g.drv->beep();
    return;
  }
  WmItemGeo ig = wm_item_geo(t.h.item->item);
  int ir = t.h.item->item.row.get() + t.h.idx / ig.cols, ic = t.h.item->item.col.get() + t.h.idx % ig.cols;
  if (cell_attr(t.h.r, ir, ic) & wa::kUpper) c = upper(c);
  // A number is typed as a whole: the first character typed at the start
  // of a numeric field not yet edited in this wait replaces its value (the
  // ".00" of an empty amount, the amount being changed), which would
  // otherwise stand on behind the new digits. Other fields are typed over
  // character by character.
  const int type = t.h.item->item.data_type.get();
  const bool fresh = (type == 5 || type == 8 || type == 12) && !t.h.item->edited && t.k == 0;
  std::string& b = buffer(*t.h.item);
  if (fresh)
    for (int p : t.pos) b[size_t(p)] = ' ';
  if (g.insert) {
    if (!insert_at(b, t.pos, t.k, char(c))) {
      g.drv->beep();
      return;
    }
  } else {
    b[size_t(t.pos[size_t(t.k)])] = char(c);
  }
  mark_dirty();
  if (t.k + 1 < int(t.pos.size())) move_to(t, t.k + 1);
  else g.filled = true;
}

bool is_blank_at(const std::string& b, const std::vector<int>& pos, int k) { return b[size_t(pos[size_t(k)])] == ' '; }

void edit_key(uint16_t code) {
  State& g = st();
  switch (code) {
    case opt::kLeft: case opt::kRight: case opt::kUp: case opt::kDown: {
      int r = g.cur_r, c = g.cur_c;
      g.cur_c += code == opt::kLeft ? -1 : code == opt::kRight ? 1 : 0;
      g.cur_r += code == opt::kUp ? -1 : code == opt::kDown ? 1 : 0;
      keep_cursor();
      if (r == g.cur_r && c == g.cur_c) g.drv->beep();  // at the edge
      return;
    }
    case opt::kNextField: case opt::kPrevField: case opt::kFirstField: case opt::kLastField:
      field_move(code);
      return;
    case opt::kNewLine: new_line(); return;
    case opt::kInsToggle: g.insert = !g.insert; return;
    case opt::kInsOn: g.insert = true; return;
    case opt::kInsOff: g.insert = false; return;
    case opt::kRedraw: g.full = true; mark_dirty(); return;
    default: break;
  }
  Target t = target();
  if (!t) {
    g.drv->beep();
    return;
  }
  int n = int(t.pos.size());
  switch (code) {
    case opt::kFieldStart: move_to(t, 0); return;
    case opt::kFieldEnd: {
      const std::string& b = t.h.item->edited ? t.h.item->edit : t.h.item->text;
      int last = -1;
      for (int j = 0; j < n; ++j)
        if (!is_blank_at(b, t.pos, j)) last = j;
      move_to(t, std::min(last + 1, n - 1));
      return;
    }
    case opt::kNextWord: {
      const std::string& b = t.h.item->edited ? t.h.item->edit : t.h.item->text;
      int j = t.k;
      while (j < n && !is_blank_at(b, t.pos, j)) ++j;
      while (j < n && is_blank_at(b, t.pos, j)) ++j;
      move_to(t, std::min(j, n - 1));
      return;
    }
    case opt::kPrevWord: {
      const std::string& b = t.h.item->edited ? t.h.item->edit : t.h.item->text;
      int j = t.k - 1;
      while (j > 0 && is_blank_at(b, t.pos, j)) --j;
      while (j > 0 && !is_blank_at(b, t.pos, j - 1)) --j;
      move_to(t, std::max(j, 0));
      return;
    }
    case opt::kRestore:
      t.h.item->edited = false;
      t.h.item->edit.clear();
      mark_dirty();
      move_to(t, 0);
      return;
    default: break;
  }
  std::string& b = buffer(*t.h.item);
  mark_dirty();
  switch (code) {
    case opt::kDelChar: delete_at(b, t.pos, t.k); return;
    case opt::kBackspace:
      if (t.k == 0) {
        g.drv->beep();
        return;
      }
      delete_at(b, t.pos, t.k - 1);
      move_to(t, t.k - 1);
      return;
    case opt::kClearEnd:
      for (int j = t.k; j < n; ++j) b[size_t(t.pos[size_t(j)])] = ' ';
      return;
    case opt::kClearField:
      for (int j = 0; j < n; ++j) b[size_t(t.pos[size_t(j)])] = ' ';
      move_to(t, 0);
      return;
    case opt::kDelWord: {
      while (t.k < n && !is_blank_at(b, t.pos, t.k)) {
        delete_at(b, t.pos, t.k);
        if (std::all_of(t.pos.begin() + t.k, t.pos.end(), [&](int p) { return b[size_t(p)] == ' '; })) break;
      }
      while (t.k < n && is_blank_at(b, t.pos, t.k) &&
             !std::all_of(t.pos.begin() + t.k, t.pos.end(), [&](int p) { return b[size_t(p)] == ' '; }))
        delete_at(b, t.pos, t.k);
      return;
    }
    case opt::kDelStart: {
      for (int j = 0; j < t.k; ++j) delete_at(b, t.pos, 0);
      move_to(t, 0);
      return;
    }
    case opt::kInsSpace:
      if (!insert_at(b, t.pos, t.k, ' ')) g.drv->beep();
      return;
    case opt::kCaseToggle: {
      uint8_t c = uint8_t(b[size_t(t.pos[size_t(t.k)])]);
      uint8_t u = upper(c);
      b[size_t(t.pos[size_t(t.k)])] = char(u != c ? u : lower(c));
      if (t.k + 1 < n) move_to(t, t.k + 1);
      return;
    }
    default:
      g.drv->beep();
      return;
  }
}

// ------------------------------------------------------------- panning --
void pan_key(uint16_t code) {
  State& g = st();
  if (!pan_on()) {
    g.drv->beep();
    return;
  }
  bool vertical = code == opt::kPanUp || code == opt::kPanDown || (code >= opt::kPanPageUp && code <= opt::kPanBottom);
  if (vertical && !vpan_on()) return;
  Hit h = hit_at(g.cur_r, g.cur_c);
  bool on_item = h.item && h.w && !h.w->fixed();
  int er, ec;
  extent(&er, &ec);
  int max_r = std::max(0, er - app_rows()), max_c = std::max(0, ec - g.cols);
  int step_c = std::max(1, std::min(8, g.cols / 4));
  switch (code) {
    case opt::kPanUp: --g.pan_r; break;
    case opt::kPanDown: ++g.pan_r; break;
    case opt::kPanPageUp: g.pan_r -= app_rows(); break;
    case opt::kPanPageDown: g.pan_r += app_rows(); break;
    case opt::kPanTop: g.pan_r = 0; break;
    case opt::kPanBottom: g.pan_r = max_r; break;
    case opt::kPanLeft: g.pan_c -= step_c; break;
    case opt::kPanRight: g.pan_c += step_c; break;
    case opt::kPanPageLeft: g.pan_c -= g.cols / 2; break;
    case opt::kPanPageRight: g.pan_c += g.cols / 2; break;
    case opt::kPanFarLeft: g.pan_c = 0; break;
    case opt::kPanFarRight: g.pan_c = max_c; break;
    case opt::kPanHome:
      g.pan_c = 0;
      if (vpan_on()) g.pan_r = 0;
      break;
    default: break;
  }
  g.pan_r = std::clamp(g.pan_r, 0, std::max(max_r, 0));
  g.pan_c = std::clamp(g.pan_c, 0, std::max(max_c, 0));
  if (on_item) {
    // The field the cursor is on stays in view (keys typed go on reaching
    // it); a pan that would hide it goes only as far as it can.
    int r = std::clamp(g.pan_r, g.cur_r - app_rows(), g.cur_r - 1), c = std::clamp(g.pan_c, g.cur_c - g.cols, g.cur_c - 1);
    if (r != g.pan_r || c != g.pan_c) g.drv->beep();
    g.pan_r = std::max(0, r);
    g.pan_c = std::max(0, c);
  } else {
    // The cursor stays in the application area of the view.
    g.cur_r = std::clamp(g.cur_r, g.pan_r + 1, g.pan_r + app_rows());
    g.cur_c = std::clamp(g.cur_c, g.pan_c + 1, g.pan_c + g.cols);
  }
  mark_dirty();
}

// ------------------------------------------------------------- keys --
struct Event {
  enum Kind { Code, Char, Unknown, Timeout, Resize, Eof } kind;
  uint32_t code = 0;
  uint8_t ch = 0;
  std::string seq;  // the bytes of a key (for literal next)
};

Event from_value(uint32_t v) {
  if (v & kKmChar) return Event{Event::Char, 0, uint8_t(v & 0xFF), {}};
  return Event{Event::Code, v & 0xFFFF, 0, {}};
}

// The monotonic clock in µs (the times of the wait log).
uint64_t mono_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

Event next_event(int first_ms, bool use_pending = true) {
  State& g = st();
  if (use_pending && !g.pending.empty()) {
    uint32_t v = g.pending.front();
    g.pending.pop_front();
    return from_value(v);
  }
  KeyMatch m = trie_read_key(g.km->trie, first_ms, g.km->esc_delay, g.drv->utf8(), g.src);
  if (m.kind == KeyMatch::Key || m.kind == KeyMatch::Char || m.kind == KeyMatch::Unknown) g.key_us = mono_us();
  switch (m.kind) {
    case KeyMatch::Key: {
      const auto& v = m.entry->values;
      if (use_pending)
        for (size_t i = 1; i < v.size(); ++i) g.pending.push_back(v[i]);
      Event e = from_value(v[0]);
      e.seq = m.bytes;
      return e;
    }
    case KeyMatch::Char: return Event{Event::Char, 0, m.ch, m.bytes};
    case KeyMatch::Unknown: return Event{Event::Unknown, 0, 0, m.bytes};
    case KeyMatch::Timeout: return Event{Event::Timeout, 0, 0, {}};
    case KeyMatch::Resize: return Event{Event::Resize, 0, 0, {}};
    default: return Event{Event::Eof, 0, 0, {}};
  }
}

// While a screen is up, a wait for another user's lock ends when the user
// presses CANCEL. Keys typed during the wait are read without waiting; any
// other key is kept, in order, for the next input wait.
bool lock_wait_cancelled() {
  State& g = st();
  if (!g.up || !g.km || !g.drv) return false;
  for (;;) {
    Event e = next_event(0, false);
    switch (e.kind) {
      case Event::Timeout: return false;
      case Event::Code:
        if (e.code == opt::kCancel) return true;
        g.pending.push_back(e.code);
        break;
      case Event::Char: g.pending.push_back(kKmChar | e.ch); break;
      case Event::Resize: g.src.unread_event(kTmResize); return false;
      case Event::Eof: g.src.unread_event(kTmEof); return false;
      case Event::Unknown: break;
    }
  }
}

void log_wait(const char* what) {
  State& g = st();
  ++g.waits;
  if (!g.log) return;
  std::fprintf(g.log, "%s show %llu wait %llu at %llu key %llu\n", what, (unsigned long long)g.shows,
               (unsigned long long)g.waits, (unsigned long long)mono_us(), (unsigned long long)g.key_us);
  std::fflush(g.log);
}

void hangup() {
  State& g = st();
  if (g.hangup) {
    g.hangup();
    return;
  }
  wm_end();
  std::fprintf(stderr, "quvo: the terminal is gone\n");
  std::exit(1);
}

// ------------------------------------------------------------- messages --
// The open message file (la_create_fi) that the handle names, or null.
FmArb* msg_file(WmHandle h) {
  if (h < arena::kGuard || uint64_t(h) + sizeof(FmArb) > arena::committed()) return nullptr;
  auto* a = static_cast<FmArb*>(arena::at(h));
  return fm_is_handle(a) && a->file ? a : nullptr;
}

// Reads the messages of a message file in key order, through a stream of
// its own so that the caller's handle keeps its place.
bool read_msg_file(FmArb* q) {
  State& g = st();
  size_t reclen = q->file->fdb.rec_len.get();
  if (reclen < sizeof(LaQueueRec)) return false;
  FmArb* s = FM_ATTACH(q, nullptr, com.depth.get());
  if (!s) return false;
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(g.pool, reclen));
  s->rec.set(buf);
  s->rec_len = uint16_t(reclen);
  s->key_no = 0;
  s->op = FM_OP_FIRST;
  bool ok = fm_start(s) != 0;
  s->op = 0;
  while (ok && fm_rdnxt(s)) {
    const LaQueueRec& r = rec::view<LaQueueRec>(buf);
    size_t len = std::min<size_t>(r.length.get(), size_t(s->len_read.get()) - std::min<size_t>(s->len_read.get(), 8));
    g.msgs.push_back({r.severity.get(), std::string(reinterpret_cast<const char*>(buf) + 8, len)});
  }
  fm_detach(s);
  mm_free(buf);
  return ok;
}

void load_msgs(WmHandle msgq) {
  State& g = st();
  g.msgs.clear();
  g.msg_at = 0;
  if (msgq) {
    if (g.reader) {
      WmMsgHead head{};
      std::string text;
      for (uint32_t i = 0; g.reader(msgq, i, &head, &text); ++i) g.msgs.push_back({head.type.get(), text});
    } else if (auto it = g.queues.find(msgq); it != g.queues.end()) {
      for (auto& m : it->second->msgs) g.msgs.push_back({m.type, m.text});
    } else if (FmArb* f = msg_file(msgq)) {
      if (!read_msg_file(f)) sys_err(kMod, __LINE__, "wm_show() - can't read message file %u", msgq);
    } else {
      sys_err(kMod, __LINE__, "wm_show() - bad message queue %u", msgq);
    }
  }
  mark_dirty();
}

// ------------------------------------------------------------ the answer --
void cursor_facts(WmShow* sb) {
  State& g = st();
  Hit h = hit_at(g.cur_r, g.cur_c);
  sb->cur_region = h.r ? h.r->h : 0;
  sb->row = h.r ? h.rr : 0;
  sb->col = h.r ? h.rc : 0;
  sb->fld_row = h.item ? h.item->item.row.get() : 0;
  sb->fld_col = h.item ? h.item->item.col.get() : 0;
  sb->scr_row = uint16_t(std::clamp(g.cur_r - g.pan_r, 1, g.rows));
  sb->scr_col = uint16_t(std::clamp(g.cur_c - g.pan_c, 1, g.cols));
  if (!(h.w && h.w->active && h.r)) sb->status = uint8_t(sb->status.get() | wmshow::kOutside);
}

bool copy_back() {
  bool changed = false;
  for (auto& [h, r] : st().regs)
    for (auto& [pos, s] : r->items) {
      if (!s.edited) continue;
      size_t len = s.item.text_len.get();
      if (text_ref_ok(s.item, len)) {
        std::memcpy(s.item.text.get(), s.edit.data(), std::min(len, s.edit.size()));
        changed = true;
      } else if (len) {
        sys_err(kMod, __LINE__, "wm_show() - item at %d,%d has no text to copy into", s.item.row.get(),
                s.item.col.get());
      }
      s.text = s.edit;
      s.edited = false;
    }
  return changed;
}

void cursor_request(const WmShow* sb) {
  State& g = st();
  switch (sb->curs_req.get()) {
    case wmshow::kReqNone: break;
    case wmshow::kReqSaved:
      g.cur_r = g.saved_r;
      g.cur_c = g.saved_c;
      break;
    case wmshow::kReqField: case wmshow::kReqPos: case wmshow::kReqRowCol:
      if (sb->region.get()) {
        Region* r = find_reg(sb->region.get(), "wm_show()");
        if (!r) break;
        to_logical(r->win, r->top() + sb->req_row.get() - 1, sb->req_col.get(), &g.cur_r, &g.cur_c);
      } else {
        g.cur_r = sb->req_row.get();
        g.cur_c = sb->req_col.get();
      }
      break;
    default:
      sys_err(kMod, __LINE__, "wm_show() - bad cursor request %d", sb->curs_req.get());
      break;
  }
  keep_cursor();
}

void mark_shown() {
  for (Window* w : draw_order())
    for (Region* r : w->regions) r->rec->state = 1;
}

// ------------------------------------------------------- system errors --
void wrap(const std::string& text, size_t width, std::vector<std::string>* out) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    while (line.size() > width) {
      size_t cut = line.rfind(' ', width);
      if (cut == std::string::npos || cut == 0) cut = width;
      out->push_back(line.substr(0, cut));
      line.erase(0, cut);
      while (!line.empty() && line[0] == ' ') line.erase(0, 1);
    }
    out->push_back(line);
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
}

SysErrAnswer sys_err_window(const char* module, int line, const char* text) {
  State& g = st();
  if (g.in_syserr || !g.up || !g.km) {
    std::fprintf(stderr, "quvo: system error in %s line %d: %s (CANCEL)\n", module, line, text);
    return SysErrAnswer::Cancel;
  }
  g.in_syserr = true;
  std::vector<std::string> lines;
  lines.push_back("SYSTEM ERROR");
  lines.push_back(std::string(module ? module : "") + " line " + std::to_string(line));
  wrap(text ? text : "", size_t(std::max(20, std::min(70, g.cols - 6))), &lines);
  lines.push_back("");
  lines.push_back("C or ENTER to continue, X or CANCEL to cancel");
  g.overlay = lines;
  mark_dirty();
  SysErrAnswer ans = SysErrAnswer::Cancel;
  for (bool done = false; !done;) {
    refresh_screen();
    log_wait("wm_syserr");
    Event e = next_event(-1, false);
    switch (e.kind) {
      case Event::Code:
        if (e.code == opt::kEnter) { ans = SysErrAnswer::Continue; done = true; }
        else if (e.code == opt::kCancel) { ans = SysErrAnswer::Cancel; done = true; }
        else g.drv->beep();
        break;
      case Event::Char:
        if (e.ch == 'c' || e.ch == 'C') { ans = SysErrAnswer::Continue; done = true; }
        else if (e.ch == 'x' || e.ch == 'X') { ans = SysErrAnswer::Cancel; done = true; }
        else g.drv->beep();
        break;
      case Event::Resize: on_resize(); break;
      case Event::Eof: done = true; break;
      default: g.drv->beep(); break;
    }
  }
  g.overlay.clear();
  g.in_syserr = false;
  mark_dirty();
  refresh_screen();
  return ans;
}
}  // namespace

void on_resize() {
  State& g = st();
  // The cursor keeps its place within the window it is on.
  Window* cw = hit_at(g.cur_r, g.cur_c).w;
  int dr = cw ? g.cur_r - cw->row : 0, dc = cw ? g.cur_c - cw->col : 0;
  int r = g.rows, c = g.cols;
  g.drv->size(&r, &c);
  g.rows = std::max(1, r);
  g.cols = std::max(1, c);
  com.rows = uint16_t(g.rows);
  com.cols = uint16_t(g.cols);
  for (auto& [h, w] : g.wnds)
    if (w->srf) place(w.get(), true);
  if (cw) {
    g.cur_r = cw->row + dr;
    g.cur_c = cw->col + dc;
  }
  // The pan starts again from where it was before the resizes, within what
  // the windows now cover; then the cursor is brought into view.
  if (!g.resizing) {
    g.resizing = true;
    g.base_pan_r = g.pan_r;
    g.base_pan_c = g.pan_c;
  }
  int er, ec;
  extent(&er, &ec);
  g.pan_r = std::clamp(g.base_pan_r, 0, std::max(0, er - app_rows()));
  g.pan_c = std::clamp(g.base_pan_c, 0, std::max(0, ec - g.cols));
  g.back.clear();
  g.full = true;
  mark_dirty();
  keep_cursor();
}

}  // namespace wmi

using namespace wmi;

// ------------------------------------------------------------ start, end --
namespace {
// The objects of the window manager and the screen's layout (the terminal's
// size once it is taken; until then as the start set it).
void start_objects() {
  State& g = st();
  g.pool = mm_create_pool(" WMPOOL    ", 0, 0);
  register_release();
  g.rows = std::max(1, g.rows);
  g.cols = std::max(1, g.cols);
  com.rows = uint16_t(g.rows);
  com.cols = uint16_t(g.cols);
  g.cur_r = g.cur_c = g.saved_r = g.saved_c = 1;
  g.pan_r = g.pan_c = 0;
  g.full = true;
  g.dirty = true;
  uint32_t h = 0;
  wm_create_srf(&h, 0);
  com.status_surface = h;
  wm_create_srf(&h, 0);
  com.msg_surface = h;
  if (FILE* f = os_open_log("QUVO_WM_LOG")) g.log = f;
}

// The terminal is taken (its driver opened): the window manager draws on it
// and answers the system errors, the message line and lock-wait cancels.
void attach_terminal(TmDriver* driver, const Keymap* keymap) {
  State& g = st();
  g.drv = driver;
  g.km = keymap;
  g.src.drv = driver;
  g.src.back.clear();
  g.src.events.clear();
  os_set_sys_err_screen(sys_err_window);
  la_set_msg_line(wm_msg_line);
  uio_set_cancel_check(lock_wait_cancelled);
  g.up = true;
  com.screen_up = 1;
}

// The first draw of a deferred start: the terminal is taken and the windows
// made so far are laid out on its size.
void take_terminal() {
  State& g = st();
  std::string err;
  if (!g.later_drv->open(&err)) {
    std::fprintf(stderr, "quvo: cannot use the terminal: %s\n", err.c_str());
    ss_end_engine(kExitInitFailed);
  }
  g.deferred = false;
  attach_terminal(g.later_drv, g.later_km);
  on_resize();
  g.resizing = false;
}

// wm_show with no terminal: nothing is drawn; a wait for a key cannot be
// answered, so the engine ends, saying why.
int show_nowhere(WmShow* sb) {
  State& g = st();
  if (sb->flags.get() & wmshow::kWait) {
    std::fprintf(stderr,
                 "quvo: the process waits for a key on its screen, but there is no terminal (standard input or "
                 "output is not a terminal); run it at a terminal\n");
    ss_end_engine(kExitNoTerminal);
  }
  ++g.shows;
  sb->status = 0;
  cursor_request(sb);
  sb->option = opt::kNext;
  cursor_facts(sb);
  return 1;
}
}  // namespace

namespace {
// What both starts do first: the last start's objects gone, its error
// forgotten; false (with the missing keymap's text) without a driver or a
// keymap.
bool start_anew(TmDriver* driver, const Keymap* keymap) {
  State& g = st();
  if (g.up || g.pool) wm_end();
  g_init_err.clear();
  g_init_code = 0;
  if (driver && keymap) return true;
  g_init_err = kKmMissingText;
  g_init_code = 3;
  return false;
}
}  // namespace

int wm_start(TmDriver* driver, const Keymap* keymap) {
  State& g = st();
  if (!start_anew(driver, keymap)) return 0;
  std::string err;
  if (!driver->open(&err)) {
    g_init_err = "cannot use the terminal: " + err;
    g_init_code = 1;
    return 0;
  }
  driver->size(&g.rows, &g.cols);
  start_objects();
  attach_terminal(driver, keymap);
  refresh_screen();
  return 1;
}

int wm_start_deferred(TmDriver* driver, const Keymap* keymap) {
  State& g = st();
  if (!start_anew(driver, keymap)) return 0;
  // Until the first draw the windows are laid out on at least 24 x 80, and
  // on the terminal's size now where it is larger (a status line takes the
  // terminal's width); they are placed again when the terminal is taken.
  g.rows = 24;
  g.cols = 80;
  winsize ws;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0) {
    g.rows = std::max(g.rows, int(ws.ws_row));
    g.cols = std::max(g.cols, int(ws.ws_col));
  }
  start_objects();
  g.deferred = true;
  g.later_drv = driver;
  g.later_km = keymap;
  return 1;
}

int wm_start_no_terminal() {
  State& g = st();
  if (g.up || g.pool) wm_end();
  g_init_err.clear();
  g_init_code = 0;
  start_objects();
  g.no_term = true;
  return 1;
}

bool wm_no_terminal() { return st().no_term; }

int wm_init() {
  static Keymap km;
  std::string why;
  if (int code = km_for_terminal(&km, &why)) {
    g_init_err = why;
    g_init_code = code == kExitNoKeymap ? code : 1;
    return 0;
  }
  com.term_name.set(std::getenv("TERM"));
  return wm_start(tm_curses(), &km);
}

namespace {
// The initialiser stage of the interactive engine. The terminal is taken
// only when the first screen is drawn, so that a run that shows nothing
// leaves it as it was; its type and keymap are checked now, at a terminal.
// Without one (standard input or output not a terminal: a script, cron, a
// CGI run) and in a background session the window manager runs without a
// terminal.
int wm_init_stage() {
  if (!os_hooks.pi_exec) {
    // Nothing will be shown: check that the terminal has a keymap, leave it alone.
    Keymap km;
    std::string why;
    int code = km_for_terminal(&km, &why);
    if (code == kExitNoKeymap) {
      std::fprintf(stderr, "%s\n", why.c_str());
      std::exit(kExitNoKeymap);
    }
    if (code) {
      std::snprintf(ut_dbg, sizeof ut_dbg, "%s", why.c_str());
      return 0;
    }
    com.term_name.set(std::getenv("TERM"));
    return 1;
  }
  bool background = std::string_view(ss_session(), 8) != "        ";
  if (background || !isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return wm_start_no_terminal();
  static Keymap km;
  std::string why;
  if (int code = km_for_terminal(&km, &why)) {
    if (code == kExitNoKeymap) {
      std::fprintf(stderr, "%s\n", why.c_str());
      std::exit(kExitNoKeymap);
    }
    std::snprintf(ut_dbg, sizeof ut_dbg, "%s", why.c_str());
    return 0;
  }
  com.term_name.set(std::getenv("TERM"));
  return wm_start_deferred(tm_curses(), &km);
}
}  // namespace

void wm_register() {
  os_set_init(OsInit::Wm, wm_init_stage);
  os_hooks.wm_finish = wm_end;
  os_hooks.keymap_utility = km_util_run;
  if (!os_hooks.bootstrap) os_hooks.bootstrap = km_bootstrap;
}

const std::string& wm_init_error(int* exit_code) {
  if (exit_code) *exit_code = g_init_code;
  return g_init_err;
}

void wm_end() {
  State& g = st();
  if (!g.pool && !g.up) return;
  std::vector<Window*> ws;
  for (auto& [h, w] : g.wnds) ws.push_back(w.get());
  for (Window* w : ws) destroy_window(w);
  for (auto& [h, s] : g.srfs) mm_free(s->rec);
  for (auto& [h, q] : g.queues) mm_free(arena::at(h));
  if (g.pool) mm_destroy_pool(g.pool);
  os_set_sys_err_screen(nullptr);
  la_set_msg_line(nullptr);
  uio_set_cancel_check(nullptr);
  com.screen_up = 0;
  com.msg_surface = 0;
  com.status_surface = 0;
  if (g.drv) g.drv->close();
  if (g.log) std::fclose(g.log);
  WmItoe itoe = g.itoe;
  WmMsgReader reader = g.reader;
  WmHangup hup = g.hangup;
  g.~State();
  new (&g) State();
  g.itoe = itoe;
  g.reader = reader;
  g.hangup = hup;
}

bool wm_up() { return st().up; }
TmDriver* wm_driver() { return st().drv; }
const Keymap* wm_keymap() { return st().km; }

// -------------------------------------------------------------- the wait --
int wm_show(WmShow* sb, WmHandle msgq) {
  State& g = st();
  if (!sb) {
    sys_err(kMod, __LINE__, "wm_show() - null show block");
    return 0;
  }
  if (!g.up) {
    if (g.deferred) take_terminal();
    else if (g.no_term) return show_nowhere(sb);
    else return 0;
  }
  if (!g.km) {
    std::fprintf(stderr, "%s\n", kKmMissingText);
    wm_end();
    std::exit(3);
  }
  if (!com.screen_up.get()) wm_resume();  // a show after a shell command takes the terminal back
  ++g.shows;
  g.filled = false;
  sb->status = 0;
  load_msgs(msgq);
  cursor_request(sb);
  if (sb->flags.get() & wmshow::kDraw) mark_dirty();
  if (sb->flags.get() & wmshow::kAlert) g.drv->beep();
  if (!(sb->flags.get() & wmshow::kWait)) {
    refresh_screen();
    mark_shown();
    sb->option = opt::kNext;
    cursor_facts(sb);
    return 1;
  }
  int first_ms = sb->timeout.get() ? int(sb->timeout.get()) * 1000 : -1;
  bool literal = false;
  uint16_t option = opt::kNone;
  while (option == opt::kNone) {
    refresh_screen();
    mark_shown();
    if (g.pending.empty()) log_wait("wm_show");
    Event e = next_event(first_ms);
    if (e.kind != Event::Char) g.filled = false;
    if (e.kind != Event::Resize && e.kind != Event::Timeout) g.resizing = false;
    if (!g.sys_line.empty() && e.kind != Event::Timeout) {
      g.sys_line.clear();
      mark_dirty();
    }
    if (literal && (e.kind == Event::Code || e.kind == Event::Char)) {
      literal = false;
      if (e.kind == Event::Char) type_char(e.ch);
      else if (e.seq.size() == 1) type_char(uint8_t(e.seq[0]));
      else g.drv->beep();
      continue;
    }
    switch (e.kind) {
      case Event::Char: type_char(e.ch); break;
      case Event::Unknown: g.drv->beep(); break;
      case Event::Timeout:
        sb->status = uint8_t(sb->status.get() | wmshow::kTimedOut);
        option = opt::kNoAction;
        break;
      case Event::Resize:
        on_resize();
        if (g.resized) g.resized();
        sb->status = uint8_t(sb->status.get() | wmshow::kResized);
        break;
      case Event::Eof:
        if (ss_stop_signal()) ss_stop_unwind();  // SIGTERM or SIGHUP: every process ends
        hangup();
        return 0;
      case Event::Code: {
        uint16_t c = uint16_t(e.code);
        if (!g.digits.empty() && (c == opt::kBackspace || c == opt::kCancel || c == opt::kEnter)) {
          if (c == opt::kBackspace) g.digits.pop_back();
          else if (c == opt::kCancel) g.digits.clear();
          else {
            int n = std::atoi(g.digits.c_str());
            g.digits.clear();
            if (n <= 255) option = uint16_t(n);
            else g.drv->beep();
          }
          mark_dirty();
          break;
        }
        if (c == opt::kLiteral) literal = true;
        else if (c >= opt::kEditFirst && c <= opt::kEditLast) edit_key(c);
        else if (c >= opt::kPanFirst && c <= opt::kPanLast) pan_key(c);
        else if (c == opt::kMessage) {
          if (g.msg_at + 1 < g.msgs.size()) {
            ++g.msg_at;
            mark_dirty();
          } else {
            g.drv->beep();
          }
        } else {
          option = c;
        }
        break;
      }
    }
  }
  sb->option = option;
  if ((sb->flags.get() & wmshow::kCopyBack) && copy_back())
    sb->status = uint8_t(sb->status.get() | wmshow::kChanged);
  if (!g.digits.empty()) {
    g.digits.clear();
    mark_dirty();
  }
  g.saved_r = g.cur_r;
  g.saved_c = g.cur_c;
  if (g.dirty) refresh_screen();
  cursor_facts(sb);
  return 1;
}

void wm_suspend() {
  State& g = st();
  if (!g.up) return;
  g.drv->suspend();
  com.screen_up = 0;
}

void wm_resume() {
  State& g = st();
  if (!g.up) return;
  g.drv->resume();
  com.screen_up = 1;
  on_resize();
  refresh_screen();
}

void wm_redraw() {
  State& g = st();
  if (!g.up) return;
  g.full = true;
  mark_dirty();
  refresh_screen();
}

void wm_msg_line(const char* text) {
  State& g = st();
  g.sys_line = text ? text : "";
  mark_dirty();
  if (g.up && com.screen_up) refresh_screen();
}

// The window item's bytes 12-215 are its conversion item; the item keeps the
// layout its builder gave it.
constexpr size_t kCvInWmItem = offsetof(WmItem, data_type) - offsetof(CvItem, type);
static_assert(kCvInWmItem == 12 && kCvInWmItem + sizeof(CvItem) <= sizeof(WmItem), "conversion item in the window item");
static_assert(offsetof(WmItem, text) == kCvInWmItem + offsetof(CvItem, ext_addr), "conversion item in the window item");
static_assert(offsetof(WmItem, mask) == kCvInWmItem + offsetof(CvItem, mask), "conversion item in the window item");
static_assert(offsetof(WmItem, msg) == kCvInWmItem + offsetof(CvItem, msg), "conversion item in the window item");

int wmi::cv_item_itoe(WmItem* w) {
  auto* it = reinterpret_cast<CvItem*>(reinterpret_cast<uint8_t*>(w) + kCvInWmItem);
  uint32_t rows = it->rows, cols = it->cols;
  uint16_t ext = it->ext_len, edit = it->edit_len;
  CvBlock b;
  int ok = cv_cmpl(&b, it, nullptr, 0);
  it->rows = rows;
  it->cols = cols;
  it->ext_len = ext;
  it->edit_len = edit;
  if (!ok) return 0;
  cv_itoe(&b);
  return b.msg == 0;
}

void wm_set_itoe(WmItoe fn) { st().itoe = fn ? fn : wmi::cv_item_itoe; }
void wm_set_hangup(WmHangup fn) { st().hangup = fn; }
void wm_set_resized(WmResized fn) { st().resized = fn; }

std::string wm_screen_row(int row) {
  State& g = st();
  if (g.dirty) compose();
  std::string s;
  if (row < 1 || row > g.rows || g.back.empty()) return s;
  for (int c = 1; c <= g.cols; ++c) s.push_back(char(g.back[size_t(row - 1) * size_t(g.cols) + size_t(c - 1)].ch));
  return s;
}

TmCell wm_screen_cell(int row, int col) {
  State& g = st();
  if (g.dirty) compose();
  if (row < 1 || col < 1 || row > g.rows || col > g.cols || g.back.empty()) return TmCell{};
  return g.back[size_t(row - 1) * size_t(g.cols) + size_t(col - 1)];
}

void wm_cursor(int* row, int* col) {
  State& g = st();
  if (row) *row = g.cur_r - g.pan_r;
  if (col) *col = g.cur_c - g.pan_c;
}
