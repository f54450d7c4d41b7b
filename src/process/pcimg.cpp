// The image compile: IMAGE records and their ROW texts into CIMG records
// with their screen text in the module's pool, then the characteristics and
// items of the images and the images' statements. See pc.h.
#include <algorithm>
#include <cstring>
#include <vector>

#include "files/dictrec.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pc.h"

namespace {

constexpr const char* kMod = "PCIMG.C";
constexpr int32_t kNotGiven = 32767;
constexpr int64_t kMaxCells = int64_t(1) << 24;

uint8_t one(const rec::Text<1>& t) { return t[0] == '1' ? 1 : 0; }

FmArb* src(PcCtx* ctx, int slot) {
  return ctx->cap && ctx->cap->src[slot] ? static_cast<FmArb*>(arena::at(ctx->cap->src[slot])) : nullptr;
}

// The image's rows from its ROW records: rows missing are blank, a text
// longer than the image is cut at its width.
void fill_text(PcCtx* ctx, const DImage& im, const std::vector<std::vector<uint8_t>>& rows, char* text,
               int32_t nrows, int32_t ncols) {
  std::memset(text, ' ', size_t(nrows) * size_t(ncols));
  for (const auto& raw : rows) {
    if (raw.size() < size_t(DROW_HEAD)) continue;
    const auto& r = rec::view<DRow>(raw.data());
    if (r.frame_code != im.frame_code || r.frame_no.get() != im.frame_no.get() ||
        r.image_no != uint8_t(im.image_no.get()))
      continue;
    uint32_t n = r.row_no;
    if (n < 1) continue;
    if (n > uint32_t(nrows)) continue;
    size_t len = std::min(raw.size() - size_t(DROW_HEAD), size_t(ncols));
    std::memcpy(text + size_t(n - 1) * size_t(ncols), raw.data() + DROW_HEAD, len);
  }
  (void)ctx;
}

}  // namespace

int pc_img(PcCtx* ctx) {
  EmHeader* em = ctx->em;
  FmArb* cimg = em->cimg.get();
  em->n_images = 0;
  if (!cimg || !src(ctx, kSrcImage)) return 1;
  const bool output = em->proc_type == 3;
  uint32_t seq = 0;
  auto rows = pc_src_records(ctx, kSrcRow, sizeof(DRow));
  for (const auto& raw : pc_src_records(ctx, kSrcImage, sizeof(DImage))) {
    PcBuf<DImage> ib;
    std::memcpy(ib.bytes(), raw.data(), std::min(raw.size(), sizeof(DImage)));
    const DImage& im = *ib;
    EmCfrm* fr = pc_find_cfrm(ctx, im.frame_code, im.frame_no);
    if (!fr) continue;
    ++seq;
    auto skip = [&]() { pc_add_cmpl_err(ctx, kPcErrImage, &im, kPcImageOutside, nullptr, 0); };
    const bool stacked = fr->scroll != 0;
    int32_t frow = fr->pos[0], fcol = fr->pos[1], frows = fr->pos[2], fcols = fr->pos[3];
    // A place not given is 32767, or 0 as records that never placed the
    // image leave it (the first row and column of an image are 1).
    auto place = [&](int32_t v) { return stacked || v == 0 ? kNotGiven : v; };
    int32_t row = place(im.pos[0].get());
    int32_t col = place(im.pos[1].get());
    int32_t nrows = im.pos[2], ncols = im.pos[3];
    // A place below 1 (other than "not given") names no place of the
    // frame: the image is refused, as one outside its frame.
    if ((row != kNotGiven && row < 1) || (col != kNotGiven && col < 1)) {
      skip();
      continue;
    }
    row = row == kNotGiven ? frow : row - 1 + frow;
    col = col == kNotGiven ? fcol : col - 1 + fcol;
    if (nrows == kNotGiven || ncols == kNotGiven) {
      if (stacked) {
        skip();
        continue;
      }
      if (nrows == kNotGiven) nrows = frows + frow - row;
      if (ncols == kNotGiven) ncols = fcols + fcol - col;
    }
    // An image of no cells, or one larger than a screen text can be (a
    // saved row is one record; 16M cells in all), names no place either.
    if (nrows < 1 || ncols < 1 || ncols > int32_t(FM_MAX_REC) || int64_t(nrows) * ncols > kMaxCells) {
      skip();
      continue;
    }
    if (frow >= 1 && fcol >= 1 && frows >= 1 && fcols >= 1 &&
        (row < frow || col < fcol || int64_t(row) + nrows > int64_t(frow) + frows ||
         int64_t(col) + ncols > int64_t(fcol) + fcols)) {
      skip();
      continue;
    }
    int32_t rstep = im.row_step == kNotGiven ? 0 : im.row_step.get();
    int32_t cstep = im.col_step == kNotGiven ? 0 : im.col_step.get();
    if (stacked) {
      int64_t er = std::max<int64_t>(fr->ext_rows.get(), output ? int64_t(rstep) + nrows : nrows);
      int64_t ec = std::max<int64_t>(fr->ext_cols.get(), output ? int64_t(cstep) + ncols : ncols);
      if ((frows >= 1 && er > frows) || (fcols >= 1 && ec > fcols) || er > INT32_MAX || ec > INT32_MAX) {
        skip();
        continue;
      }
      fr->ext_rows = int32_t(er);
      fr->ext_cols = int32_t(ec);
    }
    PcBuf<EmCimg> rb;
    EmCimg& r = *rb;
    r.frame_seq = fr->seq;
    r.image_no = im.image_no;
    r.row = row;
    r.col = col;
    r.rows = r.rows2 = nrows;
    r.cols = r.cols2 = ncols;
    r.flag67[0] = one(im.flag67[0]);
    r.flag67[1] = one(im.flag67[1]);
    r.flag69 = one(im.flag69);
    r.stack = stacked ? 1 : im.b70;
    r.row_step = rstep;
    r.col_step = cstep;
    r.b96 = im.b96;
    r.b97[0] = im.b97[0];
    r.b97[1] = im.b97[1];
    r.flag99[0] = one(im.flag99[0]);
    r.flag99[1] = one(im.flag99[1]);
    r.b101 = im.b101;
    r.b104 = im.b104;
    r.seq = seq;
    for (auto& e : r.eps) e = 0xFFFFu;
    r.tot_ep = 0xFFFFu;
    auto* text = static_cast<char*>(MM_ALLOC(em->pool, size_t(nrows) * size_t(ncols)));
    fill_text(ctx, im, rows, text, nrows, ncols);
    r.text.set(text);
    if (fr->first_img == 0) fr->first_img = uint16_t(seq);
    fr->last_img = uint16_t(seq);
    PROTO_FULL(cimg, 0, rb.bytes());
    if (!fm_write(cimg)) checkstat(cimg->status, "cimage write failed", kMod, __LINE__);
  }
  em->n_images = uint16_t(seq + 1);
  if (src(ctx, kSrcChr)) pc_chr(ctx);
  if (src(ctx, kSrcItem)) pc_itm(ctx);
  // The images' statements, event points 41-46.
  int ok = 1;
  FmArb* stmts = src(ctx, kSrcStmt);
  if (stmts) {
    PcBuf<EmCimg> kb;
    PROTO_FULL(cimg, 0, kb.bytes());
    cimg->op = FM_OP_FIRST;
    fm_start(cimg);
    cimg->op = 0;
    std::vector<uint32_t> seqs;
    while (auto* r = reinterpret_cast<EmCimg*>(fm_rdnxt_fast(cimg, 0))) seqs.push_back(r->seq);
    for (uint32_t s : seqs) {
      PcBuf<EmCimg> k;
      k->seq = s;
      PROTO_FULL(cimg, 0, k.bytes());
      auto* r = reinterpret_cast<EmCimg*>(fm_read_fast(cimg, 0));
      if (!r) continue;
      PcBuf<EmCfrm> fk;
      fk->seq = r->frame_seq;
      FmArb* cfrm = em->cfrm.get();
      PROTO_FULL(cfrm, 0, fk.bytes());
      auto* fr = reinterpret_cast<EmCfrm*>(fm_read_fast(cfrm, 0));
      if (!fr) {
        os_sys_err_text(kMod, __LINE__, "pc_img() - frame not found");
        continue;
      }
      uint8_t prefix[44];
      pc_stmt_prefix(ctx, fr->code, fr->number, uint8_t(r->image_no), 0, 0, prefix);
      rec::U32 eps[6];
      if (!pc_owner_stmts(ctx, stmts, prefix, 44, uint16_t(s), 41, 6, eps)) {
        ok = 0;
        ctx->failed = true;
        continue;
      }
      // The record again: the statement compile wrote other sub-files.
      PROTO_FULL(cimg, 0, k.bytes());
      if ((r = reinterpret_cast<EmCimg*>(fm_read_fast(cimg, 0))))
        for (int i = 0; i < 6; ++i) r->eps[i] = eps[i];
    }
  }
  if (ctx->errors > ctx->kept_errors) return 0;
  return ok;
}
