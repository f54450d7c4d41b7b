// The characteristic compile: CHARACTER records into CCHR records (the
// window manager's characteristics of the image's fixed text). See pc.h.
#include <cstring>
#include <vector>

#include "files/dictrec.h"
#include "foundation/os.h"
#include "process/pc.h"
#include "screen/wmrec.h"

namespace {

constexpr const char* kMod = "PCCHR.C";
// Columns an image row may have characteristics in.
constexpr int32_t kChrCols = 256;

struct Run {
  uint32_t image;
  int32_t row, col, rows, cols;
};

bool overlaps(const Run& a, const Run& b) {
  return a.image == b.image && a.row < b.row + b.rows && b.row < a.row + a.rows && a.col < b.col + b.cols &&
         b.col < a.col + a.cols;
}

uint32_t pc_chr_attr(const DChr& c) {
  uint32_t a = 0;
  if (c.box[0] == '1') a |= wa::kBox | wa::kCharRec;
  if (c.dim[0] == '1') a |= wa::kDim;
  if (c.uline[0] == '1') a |= wa::kUnderline;
  if (c.bright[0] == '1') a |= wa::kBright;
  if (c.inverse[0] == '1') a |= wa::kInverse;
  return a;
}

}  // namespace

void pc_chr(PcCtx* ctx) {
  FmArb* cchr = ctx->em->cchr.get();
  if (!cchr) return;
  // The runs compiled so far: a run may share no cell with an earlier one
  // of its image, whatever rows either covers.
  std::vector<Run> taken;
  for (const auto& raw : pc_src_records(ctx, kSrcChr, sizeof(DChr))) {
    PcBuf<DChr> cb;
    std::memcpy(cb.bytes(), raw.data(), raw.size() < sizeof(DChr) ? raw.size() : sizeof(DChr));
    const DChr& c = *cb;
    EmCfrm* fr = pc_find_cfrm(ctx, c.frame_code, c.frame_no);
    EmCimg* im = fr ? pc_find_cimg(ctx, fr, c.image_no) : nullptr;
    if (!im) continue;
    Run run{im->seq, int32_t(c.row.get()), int32_t(c.col.get()), int32_t(c.rows.get()), int32_t(c.cols.get())};
    // A run narrower than one cell, outside its image or past column 256
    // is refused as overlapping characters, never marked.
    bool bad = run.rows < 1 || run.cols < 1 || run.row < 1 || run.col < 1 ||
               int64_t(run.row) + run.rows - 1 > im->rows.get() || int64_t(run.col) + run.cols - 1 > im->cols.get() ||
               int64_t(run.col) + run.cols - 1 > kChrCols;
    for (const Run& t : taken) bad = bad || overlaps(t, run);
    if (bad) {
      pc_add_cmpl_err(ctx, kPcErrChr, &c, kPcChrOverlap, nullptr, 0);
      continue;
    }
    taken.push_back(run);
    PcBuf<EmCchr> rb;
    EmCchr& r = *rb;
    r.handle = im->seq;
    r.row = run.row;
    r.col = run.col;
    r.rows = run.rows;
    r.cols = run.cols;
    r.attr = pc_chr_attr(c);
    r.colour = pc_colour(c.colour);
    PROTO_FULL(cchr, 0, rb.bytes());
    if (!fm_write(cchr)) checkstat(cchr->status, "pc_chr() - write failed", kMod, __LINE__);
  }
}
