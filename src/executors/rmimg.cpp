// Report images: compiled once into the report, executed for each record
// (fresh text, attributes and item addresses) and written into a page
// buffer at the next free lines, with blank lines before and after,
// compression, floating items, messages, a separator and scrolling windows.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "executors/rm.h"
#include "files/fm.h"
#include "files/lafi.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {

constexpr const char* kMod = "RMIMG";
void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

uint32_t cells(const RmImg* b) { return b->rows * b->cols; }

// The texts of a message file in key order, without their padding.
std::vector<std::string> msg_texts(FmArb* f) {
  std::vector<std::string> out;
  for (LaQueued& m : la_queue_read(f)) {
    std::string& t = m.text;
    while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
    size_t lead = t.find_first_not_of(' ');
    out.push_back(lead == std::string::npos ? std::string() : t.substr(lead));
  }
  return out;
}

// Pieces of a text of width characters; an empty text is one blank line.
std::vector<std::string> pieces(const std::string& t, int width) {
  std::vector<std::string> out;
  size_t w = size_t(std::max(width, 1));
  for (size_t at = 0; at < t.size(); at += w) out.push_back(t.substr(at, w));
  if (out.empty()) out.emplace_back();
  return out;
}

}  // namespace

RmImg* rm_img(RmRpt* r, int n) {
  if (n == 1) return r->cur_img.get();
  if (n < 1 || uint32_t(n) > r->img_cap) return nullptr;
  return r->images.get()[n - 1].get();
}

RmImg* rm_cmpl_img(RmRpt* r, const RmImg* blk, const RmItem* const* items, int n_items, const RmChr* const* chrs,
                   int n_chrs) {
  if (!r) return sys_err(__LINE__, "cmpl_img - Bad rpt_blk pointer"), nullptr;
  if (!blk) return sys_err(__LINE__, "cmpl_img - Bad img_blk pointer"), nullptr;
  if (blk->rows > uint32_t(kRmMaxRows)) return sys_err(__LINE__, "cmpl_img - image rows exceeds maximum size"), nullptr;
  if (blk->cols > uint32_t(kRmMaxCols))
    return sys_err(__LINE__, "cmpl_img - image columns exceeds maximum size"), nullptr;
  uint32_t n = uint32_t(r->img_count) + 1;  // 1, the blank-line image, is made by rm_create
  uint32_t len = cells(blk) + kRmImgHead;
  auto* b = static_cast<RmImg*>(MM_ALLOC(r->pool, len));
  std::memcpy(static_cast<void*>(b), blk, len);
  b->number = uint16_t(n);
  b->executed = 0;
  b->items.reset();
  b->chrs.reset();
  b->item_count = 0;
  auto* x = static_cast<RmXimg*>(MM_ALLOC(r->pool, sizeof(RmXimg)));
  std::memset(static_cast<void*>(x), 0, sizeof *x);
  if (cells(b)) {
    x->text = Ref<char>::of(static_cast<char*>(MM_ALLOC(r->pool, cells(b))));
    x->cells = Ref<RmCell>::of(static_cast<RmCell*>(MM_ALLOC(r->pool, cells(b) * sizeof(RmCell))));
  }
  b->ximg = Ref<RmXimg>::of(x);
  if (r->work_size < len) {
    mm_free(r->work.get());
    r->work = Ref<uint8_t>::of(static_cast<uint8_t*>(MM_ALLOC(r->pool, len)));
    r->work_size = len;
  }
  // Items, by column then row (the order floating works in).
  std::vector<const RmItem*> its(items, items + std::max(n_items, 0));
  if (its.size() > 255) its.resize(255);
  std::stable_sort(its.begin(), its.end(), [](const RmItem* a, const RmItem* c) {
    return a->col.get() != c->col.get() ? a->col.get() < c->col.get() : a->row.get() < c->row.get();
  });
  if (!its.empty()) {
    auto* ri = static_cast<RmItem*>(MM_ALLOC(r->pool, its.size() * sizeof(RmItem)));
    for (size_t i = 0; i < its.size(); ++i) {
      ri[i] = *its[i];
      ri[i].handle = n;
    }
    b->items = Ref<RmItem>::of(ri);
    b->item_count = uint8_t(its.size());
  }
  // Characteristics: only the bits a report prints or hides; one record per
  // row. The list ends with a record of image number 0.
  std::vector<RmChr> kept;
  for (int i = 0; i < n_chrs; ++i) {
    RmChr c = *chrs[i];
    c.attr = c.attr & 0xC170u;
    if (!c.attr && !(rm_chr_flag(c) & 0x81)) continue;
    c.handle = n;
    int rows = std::max(int(c.rows), 1);
    for (int k = 0; k < rows; ++k) {
      RmChr one = c;
      one.row = c.row + k;
      one.rows = 1;
      kept.push_back(one);
    }
  }
  auto* rc = static_cast<RmChr*>(MM_ALLOC(r->pool, (kept.size() + 1) * sizeof(RmChr)));
  std::memset(static_cast<void*>(rc), 0, (kept.size() + 1) * sizeof(RmChr));
  for (size_t i = 0; i < kept.size(); ++i) rc[i] = kept[i];
  b->chrs = Ref<RmChr>::of(rc);
  if (n > r->img_cap) {
    uint32_t cap = std::max<uint32_t>(n, std::max<uint32_t>(16, r->img_cap * 2));
    auto* t = static_cast<Ref<RmImg>*>(MM_ALLOC(r->pool, cap * sizeof(Ref<RmImg>)));
    std::memset(static_cast<void*>(t), 0, cap * sizeof(Ref<RmImg>));
    if (r->images) {
      std::memcpy(static_cast<void*>(t), r->images.get(), r->img_cap * sizeof(Ref<RmImg>));
      mm_free(r->images.get());
    }
    r->images = Ref<Ref<RmImg>>::of(t);
    r->img_cap = cap;
  }
  r->images.get()[n - 1] = Ref<RmImg>::of(b);
  r->img_count = uint16_t(n);
  return b;
}

int rm_exec_img(RmRpt* r, int n) {
  RmImg* b = rm_img(r, n);
  if (!b) return sys_err(__LINE__, "Image read failed"), 0;
  if (b->rows == 0 || !b->ximg) {
    b->executed = 1;
    return 1;
  }
  RmXimg* x = b->ximg.get();
  std::memcpy(x->text.get(), rm_img_text(b), cells(b));
  std::memset(static_cast<void*>(x->cells.get()), 0, cells(b) * sizeof(RmCell));
  x->row_flag.zero();
  RmCell* cl = x->cells.get();
  for (RmChr* c = b->chrs.get(); c && c->handle; ++c) {
    int row = c->row, col = c->col;
    if (row < 1 || row > int(b->rows)) continue;
    if (rm_chr_flag(*c) & 0x81) x->row_flag[size_t(row - 1)] = 1;
    for (int k = 0; k < int(c->cols); ++k) {
      int cc = col + k;
      if (cc < 1 || cc > int(b->cols)) continue;
      RmCell& cell = cl[(row - 1) * int(b->cols) + cc - 1];
      cell.attr = c->attr;
      cell.colour = c->colour;
    }
  }
  RmItem* it = b->items.get();
  for (int i = 0; i < b->item_count; ++i) {
    int row = it[i].row, col = it[i].col;
    if (row >= 1 && row <= int(b->rows) && col >= 1 && col <= int(b->cols))
      it[i].text = Ref<char>::of(x->text.get() + (row - 1) * int(b->cols) + col - 1);
    else it[i].text.reset();
  }
  b->executed = 1;
  return 1;
}

void invis_chr(RmImg* b) {
  RmXimg* x = b->ximg.get();
  if (!x || !x->text) return;
  for (uint32_t i = 0; i < cells(b); ++i) {
    uint32_t a = x->cells.get()[i].attr;
    if ((a & 0x10) && !(a & 0x20)) x->text.get()[i] = ' ';
  }
}

int float_item(RmRpt*, RmImg* b) {
  RmXimg* x = b->ximg.get();
  if (!x || !x->text) return 1;
  int cols = int(b->cols);
  char* t = x->text.get();
  RmCell* cl = x->cells.get();
  RmItem* it = b->items.get();
  for (int i = 0; i < b->item_count; ++i) {
    uint8_t g = rm_item_float(it[i]);
    if (g == 255) continue;
    int row = it[i].row, col = it[i].col;
    const WmItemGeo geo = wm_item_geo(it[i]);
    int rows = geo.rows, width = geo.cols;
    if (row < 1 || col < 1 || col > cols) continue;
    rows = std::min(rows, int(b->rows) - row + 1);
    width = std::min(width, cols - col + 1);
    int left = 0;  // the nearest non-blank column to its left, within its rows
    for (int rr = row; rr < row + rows; ++rr)
      for (int c = col - 1; c >= 1; --c)
        if (t[(rr - 1) * cols + c - 1] != ' ') {
          left = std::max(left, c);
          break;
        }
    int to = left + g + 1;
    if (to >= col) continue;
    for (int rr = row; rr < row + rows; ++rr) {
      char* line = t + (rr - 1) * cols;
      RmCell* cells_row = cl + (rr - 1) * cols;
      for (int c = 0; c < width; ++c) {
        line[to + c - 1] = line[col + c - 1];
        cells_row[to + c - 1] = cells_row[col + c - 1];
      }
      for (int c = std::max(to + width, col); c < col + width; ++c) {
        line[c - 1] = ' ';
        std::memset(static_cast<void*>(&cells_row[c - 1]), 0, sizeof(RmCell));
      }
    }
    // The item keeps its compiled column: only this execution's text moved,
    // and the next execution starts afresh from the compiled image.
  }
  return 1;
}

int cmprs_img(RmImg* b) {
  RmXimg* x = b->ximg.get();
  if (!x || !x->text || b->compress == 0) return 1;
  int cols = int(b->cols);
  char* t = x->text.get();
  RmCell* cl = x->cells.get();
  auto blank = [&](int row) {
    if (x->row_flag[size_t(row)]) return false;
    for (int c = 0; c < cols; ++c)
      if (t[row * cols + c] != ' ') return false;
    return true;
  };
  auto drop_trailing = [&] {
    while (b->rows > 0 && blank(int(b->rows) - 1)) b->rows = b->rows - 1;
  };
  int mode = b->compress;
  if (mode == 2 || mode == 3) drop_trailing();
  if (mode == 1 || mode == 3) {
    int out = 0;
    for (int row = 0; row < int(b->rows); ++row) {
      if (blank(row)) continue;
      if (out != row) {
        std::memcpy(t + out * cols, t + row * cols, size_t(cols));
        std::memcpy(static_cast<void*>(cl + out * cols), cl + row * cols, size_t(cols) * sizeof(RmCell));
        x->row_flag[size_t(out)] = x->row_flag[size_t(row)];
      }
      ++out;
    }
    for (int row = out; row < int(b->rows); ++row) {
      std::memset(t + row * cols, ' ', size_t(cols));
      std::memset(static_cast<void*>(cl + row * cols), 0, size_t(cols) * sizeof(RmCell));
      x->row_flag[size_t(row)] = 0;
    }
    if (mode == 3) b->rows = uint32_t(out);
  }
  return 1;
}

int msg_line_cnt(FmArb* msgs, int width) {
  int n = 0;
  for (const std::string& t : msg_texts(msgs)) n += int(pieces(t, width).size());
  return n;
}

namespace {

// Positions the next image in a placed window; false when the window is
// full (its current region 0).
bool scroll_pos(RmRpt*, RmImg* b, RmBuf* buf, RmWnd* w, FmArb* msgs) {
  switch (w->kind) {
    case 1:
      w->cur = w->cur + 1;
      if (w->cur > w->count) {
        sys_err(__LINE__, "scroll_pos - matrix down scrolling didn't flush");
        return false;
      }
      return true;
    case 2:
      for (uint32_t reg = w->cur + 1; reg <= w->count; ++reg) {
        uint32_t across = std::max<uint32_t>(w->across, 1);
        uint32_t rr = (reg - 1) % across + 1;
        int first = int((rr - 1) * w->reg_cols + w->start_col);
        int last = first + int(w->reg_cols) - 1;
        if (rr == 1) {
          w->cur_line = 1 + rm_depth(buf, first, last);
        } else if (rm_depth(buf, first, last) >= w->cur_line) {
          continue;
        }
        w->cur = reg;
        w->cur_col = uint32_t(first);
        return true;
      }
      break;
    case 3: {
      uint32_t across = std::max<uint32_t>(w->across, 1);
      uint32_t reg = std::max<uint32_t>(w->cur, 1);
      int mlines = msg_line_cnt(msgs, int(b->cols));
      for (; reg <= across; ++reg) {
        int first = int((reg - 1) * w->reg_cols + w->start_col);
        uint32_t line = 1 + rm_depth(buf, first, first + int(w->reg_cols) - 1);
        if (reg != w->cur) line = std::max(line, w->start_line.get());
        uint32_t need = w->reg_rows + line + uint32_t(mlines) + b->after + (b->sep != ' ' && b->sep != 0 ? 1 : 0);
        if (need <= w->rows + w->start_line) {
          w->cur = reg;
          w->cur_line = line;
          w->cur_col = uint32_t(first);
          return true;
        }
      }
      break;
    }
    default:
      sys_err(__LINE__, "scroll_pos() - unexpected case switch");
      return false;
  }
  w->cur = 0;
  w->cur_line = w->cur_col = 0;
  return false;
}

// A line of the buffer at n, the text of cols columns put at column col
// (cut at the buffer's width); blanks elsewhere on a new line.
RmLine* put_text(RmRpt* r, RmBuf* buf, uint32_t n, int col, const char* text, int cols) {
  RmLine* l = rm_line(r, buf, n, true);
  l->printed = 0;
  char* t = rm_line_text(l);
  for (int c = 0; c < cols && col + c <= int(buf->width); ++c) t[col + c - 1] = text ? text[c] : ' ';
  return l;
}

}  // namespace

int rm_write_img(RmRpt* r, int n, FmArb* msgs, int buf_id, RmWnd* w) {
  RmImg* stored = rm_img(r, n);
  if (!stored) return sys_err(__LINE__, "rm_write_img - image read failed"), 0;
  RmBuf* newest = rm_newest(r);
  if (!newest || buf_id > int(newest->id) || buf_id < 0)
    return sys_err(__LINE__, "write_img - invalid buffer id"), 0;
  RmBuf* buf = rm_buf(r, buf_id);
  // The work copy of the header: compression may drop rows of this write.
  auto* b = reinterpret_cast<RmImg*>(r->work.get());
  std::memcpy(static_cast<void*>(b), stored, kRmImgHead);
  RmXimg* x = stored->ximg.get();
  if (b->rows > 0 && (!x || !x->text)) return sys_err(__LINE__, "write_img - No ximg provided"), 0;
  int cols = int(b->cols);
  // A kind-1 window: the image goes into a stand-alone region buffer.
  RmBuf* target = buf;
  bool placed = w && w->cur > 0;
  if (w && w->kind == 1) target = rm_new_buf(r, std::max<int>(int(w->reg_cols), 1));
  int col = b->col, offset = 0;
  uint32_t start = 0;
  bool matrix = w && w->kind == 1;
  if (placed && !scroll_pos(r, b, buf, w, msgs)) {
    // The window is full: nothing is written and the window stays full,
    // for the caller to merge it down and write the image again into it
    // opened anew. (Placing it afresh below the image's own columns would
    // run a window of rows past its height and print the records out of
    // order.)
    if (!matrix) return 1;
    placed = false;
  }
  if (placed && !matrix) {
    start = w->cur_line - 1;
    offset = int(w->cur_col) - int(w->start_col);
  }
  if (matrix) col = 1;
  int right = std::min(col + offset + cols - 1, int(target->width));
  if (!placed && !matrix) start = rm_depth(target, col + offset, right);
  if (w && !placed) {
    // A full window: the caller merges it down and writes the image again.
    if (!matrix && start + 1 > w->rows) return 1;
    w->cur = 1;
    w->start_line = w->cur_line = start + 1;
    w->start_col = w->cur_col = uint32_t(col);
  }
  // Hidden cells, floating items and compression change the execution
  // image: only once the image is sure to be written, so that an image
  // written again into its window's next opening moves its items once.
  if (b->rows > 0) {
    invis_chr(b);
    float_item(r, b);
    if (b->compress) cmprs_img(b);
  }
  int at = col + offset;  // the image's first column in the target
  uint32_t pos = start;
  bool first = true;
  auto mark = [&](RmLine* l) {
    if (first) l->group = 1;
    first = false;
  };
  for (int i = 0; i < b->before; ++i) mark(put_text(r, target, ++pos, at, nullptr, cols));
  for (uint32_t row = 0; row < b->rows; ++row) {
    RmLine* l = put_text(r, target, ++pos, at, x->text.get() + row * uint32_t(cols), cols);
    mark(l);
    const RmCell* cl = x->cells.get() + row * uint32_t(cols);
    for (int c = 0; c < cols;) {
      int e = c + 1;
      while (e < cols && cl[e].attr == cl[c].attr && cl[e].colour == cl[c].colour) ++e;
      uint32_t a = cl[c].attr;
      if ((a & ~0x10u) && at + c <= int(target->width)) {
        RmRun run{};
        run.line = pos;
        run.attr = a;
        run.start = uint16_t(at + c);
        run.len = uint16_t(std::min(e - c, int(target->width) - (at + c) + 1));
        run.colour = cl[c].colour;
        rm_add_run(r, target, run);
      }
      c = e;
    }
  }
  if (msgs) {
    for (const std::string& t : msg_texts(msgs))
      for (const std::string& p : pieces(t, cols)) mark(put_text(r, target, ++pos, at, (p + std::string(size_t(cols), ' ')).c_str(), cols));
    if (fm_is_handle(msgs) && !fm_del_all(msgs)) sys_err(__LINE__, "add_msg() - message delete failed");
  }
  if (b->sep != ' ' && b->sep != 0) mark(put_text(r, target, ++pos, at, std::string(size_t(cols), char(b->sep)).c_str(), cols));
  uint32_t after_pos = pos + b->after;
  rec::U32* depth = target->depth.get();
  for (int c = at; c <= right; ++c) depth[c] = after_pos;
  if (x && x->cells) std::memset(static_cast<void*>(x->cells.get()), 0, cells(stored) * sizeof(RmCell));
  uint32_t final_pos = after_pos;
  if (b->keep > 0) {
    for (uint32_t k = pos + 1; k <= after_pos; ++k) {
      RmLine* l = put_text(r, target, k, at, nullptr, cols);
      l->group = 0;
    }
    for (uint32_t k = after_pos + 1; k <= after_pos + b->keep; ++k)
      if (k > target->last) {
        RmLine* l = rm_line(r, target, k, true);
        l->printed = 1;
      }
    final_pos = after_pos + b->keep;
  }
  target->last = std::max(target->last.get(), final_pos);
  if (w && w->kind == 1) {
    RmRegions* g = w->regions.get();
    if (g->count >= g->cap) {
      uint32_t cap = std::max<uint32_t>(8, g->cap * 2);
      auto* t = static_cast<Ref<RmBuf>*>(MM_ALLOC(r->pool, cap * sizeof(Ref<RmBuf>)));
      std::memset(static_cast<void*>(t), 0, cap * sizeof(Ref<RmBuf>));
      if (g->bufs) {
        std::memcpy(static_cast<void*>(t), g->bufs.get(), g->count * sizeof(Ref<RmBuf>));
        mm_free(g->bufs.get());
      }
      g->bufs = Ref<Ref<RmBuf>>::of(t);
      g->cap = cap;
    }
    g->bufs.get()[g->count] = Ref<RmBuf>::of(target);
    g->count = g->count + 1;
    w->cur = g->count;
    if (g->count >= w->count) rm_flush_reg(r, buf, w);
  }
  return 1;
}
