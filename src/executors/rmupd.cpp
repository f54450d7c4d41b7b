// Item and characteristic updates of an executed report image: attribute
// bits over a rectangle of cells, and an item's value converted into the
// image's text at its place.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "executors/rm.h"
#include "foundation/cv.h"
#include "foundation/os.h"

namespace {

constexpr const char* kMod = "RMUPD";
constexpr size_t kWorkText = 4096;

// The report item of an image at row and column, or null.
RmItem* find_item(RmImg* b, int row, int col) {
  RmItem* it = b->items.get();
  for (int i = 0; i < b->item_count; ++i)
    if (it[i].row == row && it[i].col == col) return &it[i];
  return nullptr;
}

// The conversion item inside a window item (its bytes 12-215).
constexpr size_t kCvAt = offsetof(WmItem, data_type) - offsetof(CvItem, type);
static_assert(kCvAt == 12 && offsetof(WmItem, text) == kCvAt + offsetof(CvItem, ext_addr), "conversion item");

}  // namespace

int rm_upd_chr(RmRpt* r, const RmChrUpd& d, uint32_t value, uint32_t mask) {
  RmImg* b = rm_img(r, int(d.image));
  if (!b) {
    os_sys_err_text(kMod, __LINE__, "upd_chr - can't find image block");
    return 0;
  }
  if (d.row < 1 || d.col < 1 || d.rows < 1 || d.cols < 1 || d.row + d.rows - 1 > int(b->rows) ||
      d.col + d.cols - 1 > int(b->cols)) {
    os_sys_err_text(kMod, __LINE__, "upd_chr - characteristic doesn't fit on image");
    return 0;
  }
  RmXimg* x = b->ximg.get();
  if (!x || !x->cells) return 0;
  RmCell* cl = x->cells.get();
  for (int row = d.row; row < d.row + d.rows; ++row)
    for (int col = d.col; col < d.col + d.cols; ++col) {
      RmCell& c = cl[(row - 1) * int(b->cols) + col - 1];
      c.attr = (c.attr & ~mask) | (value & mask);
    }
  return 1;
}

int rm_upd_itm(RmRpt* r, const RmItem& item, uint32_t value, uint32_t mask) {
  RmImg* b = rm_img(r, int(item.handle));
  RmItem* ri = b ? find_item(b, item.row, item.col) : nullptr;
  if (!ri) {
    r->status = kRmNotFound;
    return 0;
  }
  if (!b->executed) {
    r->status = kRmNotExec;
    return 0;
  }
  // The item's cells as the screen lays them, cut at the image's edges.
  const WmItemGeo g = wm_item_geo(*ri);
  int width = std::min(g.cols, int(b->cols) - int(ri->col) + 1);
  int rows = std::min(g.rows, int(b->rows) - int(ri->row) + 1);
  if (width < 1 || rows < 1) return 1;
  if (mask && !rm_upd_chr(r, RmChrUpd{item.handle, ri->row, ri->col, rows, width}, value, mask)) return 0;
  if (!item.value || !ri->text) return 1;
  // The value converted into a work text, then placed row by row. The work
  // text of a usual item is one arena page kept for every update (this runs
  // for each item of each record printed).
  size_t len = size_t(std::max<int>(item.text_len, 1));
  static char* const kWork = static_cast<char*>(arena::alloc_chunk(kWorkText));
  bool own = len > kWorkText || !kWork;
  auto* text = own ? static_cast<char*>(MM_ALLOC(r->pool, len)) : kWork;
  std::memset(text, ' ', len);
  WmItem w = item;
  w.text = Ref<char>::of(text);
  auto* cv = reinterpret_cast<CvItem*>(reinterpret_cast<uint8_t*>(&w) + kCvAt);
  uint32_t save_rows = cv->rows, save_cols = cv->cols;
  uint16_t ext = cv->ext_len, edit = cv->edit_len;
  CvBlock blk;
  int ok = cv_cmpl(&blk, cv, nullptr, 0);
  cv->rows = save_rows;
  cv->cols = save_cols;
  cv->ext_len = ext;
  cv->edit_len = edit;
  if (ok) cv_itoe(&blk);
  // Row by row, each row the item's columns of the text (what lies past
  // the image's edge is not shown).
  char* at = ri->text.get();
  const int cols = int(b->cols);
  const size_t shown = std::min(len, size_t(g.len));
  for (int row = 0; row < rows; ++row)
    for (int c = 0; c < width; ++c) {
      size_t k = size_t(row) * size_t(g.cols) + size_t(c);
      if (k < shown) at[row * cols + c] = text[k];
    }
  if (own) mm_free(text);
  return 1;
}
