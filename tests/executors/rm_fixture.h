// Test helper: a report of the report manager in a private print-file
// directory, images made from rows of text, and the print file read back
// page by page with the print-file reader.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "executors/pmunix.h"
#include "executors/rm.h"
#include "support/quvo_run.h"

namespace rmt {

// Rows of text as an image block (arena memory, freed by the caller's pool).
struct ImgSpec {
  std::vector<std::string> rows;
  int cols = 0;       // 0: the longest row
  int col = 1;
  int before = 0, after = 0, keep = 0, compress = 0;
  char sep = ' ';
};

// The pages of a print file: page 1 first, each a list of lines (line 1
// first; lines never written are empty).
using Pages = std::vector<std::vector<std::string>>;

inline Pages read_pages(const std::string& name) {
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* pc = static_cast<PmCtl*>(MM_ALLOC(pool, sizeof(PmCtl)));
  std::memset(static_cast<void*>(pc), 0, sizeof *pc);
  pc->name.set(name);
  auto* q = static_cast<PmReq*>(MM_ALLOC(pool, sizeof(PmReq)));
  std::memset(static_cast<void*>(q), 0, sizeof *q);
  q->text.set(static_cast<char*>(MM_ALLOC(pool, kPmCols)));
  q->attrs.set(static_cast<rec::U32*>(MM_ALLOC(pool, kPmCols * 4)));
  Pages pages(1);
  if (pm_open(pc)) {
    size_t line = 0;
    while (pm_rdnxt(pc, q)) {
      if (q->action == kPmNewPage) {
        pages.emplace_back();
        line = 0;
        continue;
      }
      line += q->count;
      auto& p = pages.back();
      if (p.size() < line) p.resize(line);
      std::string t(q->text.get(), q->text_len);
      while (!t.empty() && t.back() == ' ') t.pop_back();
      if (line > 0) p[line - 1] = t;
    }
    pm_close(pc);
  }
  mm_destroy_pool(pool);
  return pages;
}

// An alpha item of len characters at (row, col) on rows x cols cells (0:
// one row of its length), in its place (not floating).
inline RmItem alpha_item(int row, int col, int len, int rows = 0, int cols = 0) {
  RmItem it{};
  it.row = row;
  it.col = col;
  it.rows = rows;
  it.cols = cols;
  it.mask.clear();
  it.data_type = 1;
  it.length = uint16_t(len);
  it.text_len = uint16_t(len);
  rm_item_float(it) = 255;
  return it;
}

class Report : public ::testing::Test {
 protected:
  TempDir dir;
  RmRpt* r = nullptr;
  std::string name;

  void SetUp() override { setenv("QUVO_PRT_FI_DIR", dir.str().c_str(), 1); }
  void TearDown() override {
    if (r) rm_cleanup(r);
    unsetenv("QUVO_PRT_FI_DIR");
  }
  void open(int width, int page_len) {
    char path[255];
    r = rm_create("TEST REPORT", "RMT", width, path, 0);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->status.get(), kRmOk);
    name = r->pc->name.str();
    r->page_len = uint16_t(page_len);
    // Kept: the print file stays and no script runs.
    PdArea1& o = rm_opts(r);
    o.print_mode = kPmKeep;
    o.print.set("1");
  }
  // Compiles an image; its number.
  int img(const ImgSpec& s, std::vector<RmItem> items = {}, std::vector<RmChr> chrs = {}) {
    int cols = s.cols;
    for (const auto& row : s.rows) cols = std::max(cols, int(row.size()));
    size_t n = s.rows.size() * size_t(cols);
    std::vector<uint8_t> raw(kRmImgHead + n, 0);
    auto* b = reinterpret_cast<RmImg*>(raw.data());
    b->col = uint16_t(s.col);
    b->rows = uint32_t(s.rows.size());
    b->cols = uint32_t(cols);
    b->before = uint8_t(s.before);
    b->after = uint8_t(s.after);
    b->keep = uint8_t(s.keep);
    b->compress = uint8_t(s.compress);
    b->sep = uint8_t(s.sep);
    char* t = rm_img_text(b);
    std::memset(t, ' ', n);
    for (size_t i = 0; i < s.rows.size(); ++i) std::memcpy(t + i * size_t(cols), s.rows[i].data(), s.rows[i].size());
    std::vector<const RmItem*> ip;
    for (auto& i : items) ip.push_back(&i);
    std::vector<const RmChr*> cp;
    for (auto& c : chrs) cp.push_back(&c);
    RmImg* stored = rm_cmpl_img(r, b, ip.data(), int(ip.size()), cp.data(), int(cp.size()));
    return stored ? int(stored->number) : 0;
  }
  int write(int n, int buf = 0, RmWnd* w = nullptr, FmArb* msgs = nullptr) {
    if (!rm_exec_img(r, n)) return 0;
    return rm_write_img(r, n, msgs, buf, w);
  }
  // The text of line n of buffer id (trailing blanks removed), "-" when missing.
  std::string line(int id, uint32_t n) {
    RmBuf* b = rm_buf(r, id);
    RmLine* l = b ? rm_line(r, b, n, false) : nullptr;
    if (!l) return "-";
    std::string t(rm_line_text(l), b->width);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
  }
  // A new page as the executor starts one (the heading chain current), with
  // that many lines left.
  void new_page(int lines_left) {
    rm_use_heading(r, true);
    ASSERT_EQ(rm_print(r, 0, -1), 1);
    rm_use_heading(r, false);
    r->page_ended = 0;
    r->lines_left = lines_left;
  }
  std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  char first_byte(const std::string& n) {
    std::ifstream f(dir.sub(n), std::ios::binary);
    return char(f.get());
  }
  // Ends the report and reads its print file back.
  Pages finish() {
    rm_cleanup(r);
    r = nullptr;
    return read_pages(name);
  }
};

}  // namespace rmt
