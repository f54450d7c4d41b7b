// Output frames, images and page flow: the frame processor's hooks of
// Output and Inquiry processes decide which page buffer an image goes into,
// write it into the report and move the page flow (page ends, the page
// heading frames at each new page, the page footing). op_prt_buf is the one
// print request; it answers the report manager's page signals. Also here:
// the compile of a process's images into its report, OP_UPD_CHR and the
// interpreter's report seam (PRINT, TOTAL and the image statements).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "executors/fp.h"
#include "executors/fpitm.h"
#include "executors/op.h"
#include "executors/opstd.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "language/ii.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/piexec.h"
#include "process/pishr.h"

int (*op_run_frame)(Pcb* pcb, uint32_t frame) = fp_exec;

namespace {

constexpr const char* kMod = "OP";
void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

Pcb* owner_of(Pcb* pcb) {
  Pcb* o = op_pcb(pcb).owner.get();
  return o ? o : pcb;
}
PdStatus* status_of(Pcb* pcb) { return reinterpret_cast<PdStatus*>(pcb_status(pcb)); }
// The last item of the module's table (an image's range is cut to it).
uint32_t em_items(Pcb* pcb) {
  EmHeader* em = pcb->module.get();
  return em ? uint32_t(em->n_items) : 0;
}
OpStd* std_of(RmRpt* r) { return reinterpret_cast<OpStd*>(r->std_rec.get()); }

void store_lines_left(Pcb* pcb, RmRpt* r) {
  if (PdStatus* st = status_of(pcb)) st->lines_left = r->lines_left;
}

// What a heading or footing run changes and gives back: the chain, the
// owner's current buffer and the current frame and image.
struct ChainState {
  Pcb* owner;
  RmRpt* r;
  Ref<RmBuf> chain;
  uint16_t cur_buf;
  uint32_t frame, image;
  Ref<EmCfrm> cur_frm;
  ChainState(Pcb* pcb, RmRpt* rpt) : owner(owner_of(pcb)), r(rpt) {
    chain = r->cur;
    cur_buf = op_pcb(owner).cur_buf;
    frame = owner->run.frame;
    image = owner->run.image;
    cur_frm = op_pcb_run(owner).cur_frm;
    rm_use_heading(r, true);
    op_pcb(owner).cur_buf = 0;
  }
  ~ChainState() {
    r->cur = chain;
    op_pcb(owner).cur_buf = cur_buf;
    owner->run.frame = frame;
    owner->run.image = image;
    op_pcb_run(owner).cur_frm = cur_frm;
  }
};

void run_frame(Pcb* pcb, uint32_t frame) {
  if (frame && op_run_frame) op_run_frame(pcb, frame);
}

// The heading frames of a new page: the pre-heading frame (when the module
// asks for it), the heading frame, the post-heading frame, by the heading
// mode of the standard record (1 with the module's column headings, else 3).
// The module's flags: process definition bytes 376 (column headings) and
// 377 (pre-heading frame).
void run_headings(Pcb* owner, RmRpt* r) {
  OpPcb& o = op_pcb(owner);
  OpStd* s = std_of(r);
  EmHeader* em = owner->module.get();
  bool pre = o.pre_frm && em && em->flags376[1] == 1;
  uint8_t page_mode = em && em->flags376[0] == 1 ? 1 : 3;
  // The heading processes read the STD record as it stands (page number,
  // heading mode).
  auto mode = [&](uint8_t m) {
    if (s) s->mode = m;
    op_std_put(owner);
  };
  op_std_put(owner);
  if (o.pgh_frm) {
    if (pre) {
      mode(0);
      run_frame(owner, o.pre_frm);
    }
    run_frame(owner, o.pgh_frm);
    if (o.post_frm) {
      mode(page_mode);
      run_frame(owner, o.post_frm);
    }
  } else {
    mode(page_mode);
    if (pre) run_frame(owner, o.pre_frm);
    else if (o.post_frm) run_frame(owner, o.post_frm);
  }
}

}  // namespace

// ------------------------------------------------------------ page flow --

void op_std_page_no(OpStd* s, int width) {
  // Line 2 of the heading: the number ends at the right edge whatever its
  // length, the label block before it moving left (opstd.h).
  if (s && width >= 1) op_std_pgh_page(*s, std::min(width, int(kRmMaxCols)));
}

int op_prt_buf(Pcb* pcb, int final, int position) {
  RmRpt* r = op_rpt(pcb);
  if (!r) {
    sys_err(__LINE__, "rpt_start is NULL, can't update pdfs");
    return 0;
  }
  for (;;) {
    if (rm_print(r, final, position)) {
      store_lines_left(pcb, r);
      return 1;
    }
    position = 0;  // a new page or a line position is asked for once
    if (r->status == kRmNewPage) {
      ChainState keep(pcb, r);
      if (!rm_print(r, 0, -1)) sys_err(__LINE__, "op_prt_buf, print new page failed");
      r->page = r->page + 1;
      for (Pcb* p : {pcb, keep.owner})
        if (PdStatus* st = status_of(p)) st->page_no = r->page;
      if (OpStd* s = std_of(r)) {
        s->page = r->page;
        if (s->rebuild != '1') op_std_page_no(s, r->width);
      }
      run_headings(keep.owner, r);
      if (OpStd* s = std_of(r)) s->rebuild = '0';
      r->page_ended = 0;
      r->lines_left = r->page_len ? int32_t(r->page_len) - int32_t(r->foot) : 0;
      if (!rm_print(r, 1, 0)) sys_err(__LINE__, "op_prt_buf, page buf print failed");
      continue;
    }
    if (r->status == kRmFooting) {
      prt_pg_end(pcb);
      continue;
    }
    store_lines_left(pcb, r);
    return 0;
  }
}

void prt_pg_end(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  if (!r || r->page_ended) return;
  r->status = kRmFooting;
  ChainState keep(pcb, r);
  if (uint16_t foot = op_pcb(keep.owner).pgf_frm) {
    // The footing's place: the footing size above the page's end; on an
    // endless page, where the page is now.
    int at = r->page_len ? std::max(int(r->page_len) - int(r->foot), 0) : 0;
    if (!rm_print(r, 0, at)) sys_err(__LINE__, "prt_pg_end, page footer failed");
    run_frame(keep.owner, foot);
  }
  if (!rm_print(r, 1, 0)) sys_err(__LINE__, "prt_pg_end, page buf print failed");
  r->page_ended = 1;
}

void op_finish_pg(Pcb* pcb, int frame_class) {
  RmRpt* r = op_rpt(pcb);
  if (!r) return;
  op_prt_buf(pcb, 1, 0);
  if (frame_class == opfrm::kRptStart || frame_class == opfrm::kRptEnd) {
    if (!rm_print(r, 0, -1)) sys_err(__LINE__, "op_finish_pg, print new page failed");
  } else {
    prt_pg_end(pcb);
  }
}

// --------------------------------------------------------------- frames --

namespace {

EmCfrm* cur_frame(Pcb* pcb) { return fp_frame(pcb, pcb->run.frame); }
PcbFrameEnt* frame_ent(Pcb* pcb) {
  EmHeader* em = pcb->module.get();
  uint32_t f = pcb->run.frame;
  return em && pcb->frame_tbl && f && f <= em->n_frames ? &pcb->frame_tbl.get()[f] : nullptr;
}
bool heading_class(int c) { return c == opfrm::kPageHead || c == opfrm::kPageFoot; }

// Blank lines through image 1, the report's blank-line image.
void blank_lines(Pcb* pcb, RmRpt* r, int before, int after) {
  RmImg* one = rm_img(r, 1);
  if (!one || (!before && !after)) return;
  uint8_t b = one->before, a = one->after;
  one->before = uint8_t(before);
  one->after = uint8_t(after);
  rm_exec_img(r, 1);
  rm_write_img(r, 1, nullptr, op_pcb(pcb).cur_buf, nullptr);
  one->before = b;
  one->after = a;
}

// Flush or merge before or after a frame.
void flush_or_merge(Pcb* pcb, RmRpt* r, bool flush, bool merge) {
  OpPcb& o = op_pcb(pcb);
  if (flush) {
    op_prt_buf(pcb, 1, 0);
  } else if (merge) {
    if (o.cur_buf > 0) rm_empty(r, o.cur_buf - 1, 0, 0);
    else if (r->cur == r->body) op_prt_buf(pcb, 1, 0);
  }
}

}  // namespace

bool op_frm_flush_before(const EmCfrm* f) { return f->flag90[0]; }
bool op_frm_flush_after(const EmCfrm* f) { return f->flag90[1]; }
bool op_frm_merge_before(const EmCfrm* f) { return f->flag90[2]; }
bool op_frm_merge_after(const EmCfrm* f) { return f->flag90[3]; }
bool op_frm_new_buf(const EmCfrm* f) { return f->flag90[4]; }
int op_frm_before(const EmCfrm* f) { return f->b95[0]; }
int op_frm_after(const EmCfrm* f) { return f->b95[1]; }
bool op_frm_end_before(const EmCfrm* f) { return f->flag97[0]; }
bool op_frm_end_after(const EmCfrm* f) { return f->flag97[1]; }
int op_frm_scroll(const EmCfrm* f) { return f->scroll <= 3 ? f->scroll : 0; }
int op_frm_std_kind(const EmCfrm* f) { return f->b99; }
bool op_frm_generated(const EmCfrm* f) { return f->b100 == 255; }
bool op_img_end_before(const EmCimg* i) { return i->flag99[0]; }
bool op_img_end_after(const EmCimg* i) { return i->flag99[1]; }

void op_sof(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  EmCfrm* f = cur_frame(pcb);
  if (!r || !f || f->code == opfrm::kInquiry) return;
  op_pcb_run(pcb).cur_frm = Ref<EmCfrm>::of(f);
  OpPcb& o = op_pcb(pcb);
  flush_or_merge(pcb, r, op_frm_flush_before(f), op_frm_merge_before(f));
  int kind = op_frm_scroll(f);
  if (op_frm_new_buf(f) && !kind) {
    if (rm_start(r)) o.cur_buf = rm_newest(r)->id;
  }
  PcbFrameEnt* fe = frame_ent(pcb);
  // A window merged away with its buffer is detached (id 0): the frame
  // opens a new one.
  if (kind && fe && fe->window && static_cast<RmWnd*>(fe->window.get())->id == 0) {
    mm_free(fe->window.get());
    fe->window.reset();
  }
  if (kind && fe && !fe->window) {
    if (rm_start(r)) {
      o.cur_buf = rm_newest(r)->id;
      RmWndDesc d{kind, f->pos[2], f->pos[3], std::max<int>(f->ext_rows, 1), std::max<int>(f->ext_cols, 1)};
      if (RmWnd* w = rm_attach(r, o.cur_buf, d)) fe->window = Ref<void>::of(w);
    }
  }
  if (op_frm_end_before(f) && !heading_class(f->code)) op_finish_pg(pcb, f->code);
  blank_lines(pcb, r, op_frm_before(f), 0);
}

int op_eof(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  EmCfrm* f = cur_frame(pcb);
  // The interactive frame of an Inquiry prints nothing: its image's result
  // (ENTER, NEXT, a scan's choice) is the frame's, for op_inquire to act on.
  if (f && f->code == opfrm::kInquiry) return pcb->invoc.completion;
  if (!r || !f) return kFpDone;
  blank_lines(pcb, r, 0, op_frm_after(f));
  flush_or_merge(pcb, r, op_frm_flush_after(f), op_frm_merge_after(f));
  if (op_frm_end_after(f) && !heading_class(f->code)) op_finish_pg(pcb, f->code);
  return kFpDone;
}

// --------------------------------------------------------------- images --

namespace {

// The item's value: the field's address, through the area slot the loader
// made of its index.
Ref<uint8_t> item_value(const EmCitm* c) {
  if (c->wm.value || !c->wm.ira_sub) return c->wm.value;
  auto* slot = static_cast<Ref<uint8_t>*>(arena::at(c->wm.ira_sub.get()));
  return slot ? *slot : Ref<uint8_t>{};
}

// A summary item (of a range end frame) shows the running total of its
// field at the current range level: the item is pointed at that level's sum
// bucket, a calculation value (8 bytes packed and the scale byte); null for
// any other item.
Ref<uint8_t> summary_value(Pcb* pcb, const EmCitm* c) {
  OpPcb& op = op_pcb(pcb);
  uint32_t n = c->wm.total_ira;
  if (c->use2 != 4 || c->wm.summary != 0 || !op.sums || n >= op.sum_count) return {};
  OpSum& s = op.sums.get()[n];
  if (!s.buckets) return {};
  uint32_t level = std::min<uint32_t>(op.cur_level, s.inner);
  return Ref<uint8_t>::of(s.buckets.get() + level * kOpBucket);
}

bool may_see(Pcb* pcb, const EmCitm* c) {
  uint32_t code = c->secr[0];
  return code == 0xFFFFFFFFu || pi_chk_secr(int32_t(code), pcb);
}

}  // namespace

int op_img_exec(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  EmCfrm* f = cur_frame(pcb);
  if (!r || !f) return kFpDone;
  fp_frm_ep(pcb, f, 22);
  PdArea3* a3 = pi_area_rec<PdArea3>(pcb, 3);
  if ((!a3 || a3->alt_image == 0) && f->mode != 1) return kFpDone;
  uint32_t seq = uint32_t(fp_get_cimg(pcb));
  EmCimg* ci = fp_image(pcb, seq);
  PcbImageEnt* ie = ci ? &pcb->image_tbl.get()[seq] : nullptr;  // (an image the module has)
  int n = ie ? int(ie->region.get() & 0xFFFF) : 0;
  if (!ci || n == 0) return kFpDone;
  op_pcb_run(pcb).cur_img = Ref<EmCimg>::of(ci);
  bool heading = heading_class(f->code);
  if (op_img_end_before(ci) && !heading) op_finish_pg(pcb, f->code);
  rm_exec_img(r, n);
  // Items from the last to the first: which are shown, then the look-ups
  // and the display event points.
  PcbItemEnt* items = pcb->item_tbl.get();
  std::vector<uint32_t> marked;
  for (uint32_t i = std::min<uint32_t>(ci->last_item, em_items(pcb)); items && i >= ci->first_item && i > 0; --i) {
    EmCitm* c = items[i].citm.get();
    if (!c) continue;
    items[i].source = uint8_t(c->use == 1 ? 0 : 2);
    items[i].pending = uint8_t(c->use == 1 || c->use == 4);
  }
  bool ok = true;
  fp_dlu_exec(pcb, true, &ok);
  fp_img_ep(pcb, ci, 42);
  fp_frm_ep(pcb, f, 23);
  fp_img_ep(pcb, ci, 45);
  for (uint32_t i = std::min<uint32_t>(ci->last_item, em_items(pcb)); items && i >= ci->first_item && i > 0; --i) {
    EmCitm* c = items[i].citm.get();
    if (!c) continue;
    RmItem it = c->wm;
    it.handle = uint32_t(n);
    it.value = item_value(c);
    char* over = nullptr;  // an overflowed total's text
    if (Ref<uint8_t> sum = summary_value(pcb, c)) {
      it.value = sum;
      it.data_type = 12;
      it.length = uint16_t(kOpBucket - 1);
      const auto& bk = rec::view<OpBucket>(sum.get());
      if (bk.ovf) {
        // An overflowed total has no value to edit (the bucket keeps the
        // last sum that fitted): the item shows the mask's overflow form,
        // as text.
        int w = std::max<int>(c->wm.text_len, 1);
        over = static_cast<char*>(MM_ALLOC(r->pool, size_t(w)));
        std::string_view mask = c->wm.mask.trimmed();
        op_bucket_text(bk, mask.data(), int(mask.size()), over, w);
        it.value = Ref<uint8_t>::of(reinterpret_cast<uint8_t*>(over));
        it.data_type = 1;
        it.length = uint16_t(w);
        it.mask.clear();
      }
    }
    bool see = may_see(pcb, c);
    if (items[i].pending) {
      if (see) rm_upd_itm(r, it, c->attr, c->attr_mask ? c->attr_mask.get() : 0u);
      else rm_upd_itm(r, it, 16, 16);
    } else if (!see) {
      RmChrUpd d{uint32_t(n), c->wm.row, c->wm.col, std::max<int>(c->wm.rows, 1), std::max<int>(c->wm.text_len, 1)};
      rm_upd_chr(r, d, 16, 16);
    }
    if (over) mm_free(over);
  }
  OpPcb& o = op_pcb(pcb);
  PcbFrameEnt* fe = frame_ent(pcb);
  auto* w = fe ? static_cast<RmWnd*>(fe->window.get()) : nullptr;
  bool suppress = f->code == opfrm::kDetail && rm_opts(r).no_detail[0] == '1';
  if (!suppress) {
    uint32_t regions = w && w->regions ? w->regions->count.get() : 0;
    rm_write_img(r, n, pcb->msg_file.get(), o.cur_buf, w);
    bool full = w && w->kind != 1 && w->cur == 0;
    bool flushed = w && w->kind == 1 && w->regions && w->regions->count <= regions;
    if ((full || flushed) && o.cur_buf > 0) {
      rm_empty(r, o.cur_buf - 1, 0, 0);
      // The page buffer prints without ending the buffers above it: the
      // window's buffer stays in the chain with its window, which the image
      // written again below opens anew.
      if (o.cur_buf - 1 == 0 && r->cur == r->body) op_prt_buf(pcb, 0, 0);
      if (full) rm_write_img(r, n, pcb->msg_file.get(), o.cur_buf, w);
    }
  }
  if (o.cur_buf == 0 && r->cur == r->body) op_prt_buf(pcb, 1, 0);
  if (op_img_end_after(ci) && !heading) op_finish_pg(pcb, f->code);
  return f->mode == 3 ? kFpAgain : kFpDone;
}

// ----------------------------------------------------------- compiling --

void op_forget_windows(Pcb* pcb) {
  EmHeader* em = pcb->module.get();
  PcbFrameEnt* fe = pcb->frame_tbl.get();
  for (uint32_t f = 1; em && fe && f <= em->n_frames; ++f) fe[f].window.reset();
}

void cmpl_img(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  EmHeader* em = pcb->module.get();
  // A process joining a report (an Inquiry starts one per record) opens
  // its windows in it anew.
  op_forget_windows(pcb);
  if (!r || !em || !pcb->image_tbl) return;
  PcbItemEnt* items = pcb->item_tbl.get();
  for (uint32_t seq = 1; seq <= em->n_images; ++seq) {
    EmCimg* ci = fp_image(pcb, seq);
    if (!ci) continue;
    EmCfrm* f = fp_frame(pcb, ci->frame_seq);
    if (f && f->code == opfrm::kInquiry) continue;
    int kind = f ? op_frm_scroll(f) : 0;
    int rows = std::max<int>(ci->rows, 0), cols = std::max<int>(ci->cols, 1);
    // An image of a scrolling frame is widened to its region and keeps no
    // lines below.
    int wrows = kind ? std::max(rows, int(f->ext_rows)) : rows;
    int wcols = kind ? std::max(cols, int(f->ext_cols)) : cols;
    wrows = std::min(wrows, kRmMaxRows);
    wcols = std::min(wcols, kRmMaxCols);
    std::vector<uint8_t> raw(kRmImgHead + size_t(wrows) * size_t(wcols), 0);
    auto* b = reinterpret_cast<RmImg*>(raw.data());
    b->col = uint16_t(std::max<int>(ci->col, 1));
    b->rows = uint32_t(wrows);
    b->cols = uint32_t(wcols);
    b->compress = uint8_t(ci->b104[0] >= '0' && ci->b104[0] <= '3' ? ci->b104[0] - '0' : 0);
    b->sep = ci->b101 ? ci->b101.get() : uint8_t(' ');
    b->before = ci->b97[0];
    b->after = ci->b97[1];
    b->keep = uint8_t(kind == 0 && ci->b104[1] >= '0' && ci->b104[1] <= '9' ? ci->b104[1] - '0' : 0);
    char* t = rm_img_text(b);
    std::memset(t, ' ', size_t(wrows) * size_t(wcols));
    const char* src = ci->text.get();
    for (int row = 0; src && row < std::min(rows, wrows); ++row)
      std::memcpy(t + row * wcols, src + row * cols, size_t(std::min(cols, wcols)));
    std::vector<const RmItem*> its;
    for (uint32_t i = ci->first_item; items && i && i <= std::min<uint32_t>(ci->last_item, em_items(pcb)); ++i)
      if (EmCitm* c = items[i].citm.get()) its.push_back(&c->wm);
    std::vector<RmChr> chrs;
    if (FmArb* cc = em->cchr.get(); cc && fm_is_handle(cc)) {
      FmArb* s = FM_ATTACH(cc, nullptr, com.depth);
      if (!s) sys_err(__LINE__, "cmpl_img, Attach cchr failed");
      else {
        s->key_no = 0;
        s->op = FM_OP_FIRST;
        fm_start(s);
        s->op = FM_OP_FAST;
        while (uint8_t* p = fm_rdnxt_fast(s, 0)) {
          auto* c = reinterpret_cast<RmChr*>(p);
          if (c->handle == seq) chrs.push_back(*c);
        }
        s->op = 0;
        fm_detach(s);
      }
    }
    std::vector<const RmChr*> cp;
    for (auto& c : chrs) cp.push_back(&c);
    RmImg* stored = rm_cmpl_img(r, b, its.data(), int(its.size()), cp.data(), int(cp.size()));
    if (!stored) {
      sys_err(__LINE__, "cmpl_img, compile image failed");
      continue;
    }
    pcb->image_tbl.get()[seq].region = stored->number.get();
  }
}

// ----------------------------------------------------------- OP_UPD_CHR --

int op_upd_chr(Pcb* pcb, uint32_t bits, int row, int col, int rows, int cols) {
  RmRpt* r = op_rpt(pcb);
  if (!r || !pcb->image_tbl || !pcb->run.image) return 0;
  uint32_t n = pcb->image_tbl.get()[pcb->run.image].region & 0xFFFF;
  if (!n) return 0;
  return rm_upd_chr(r, RmChrUpd{n, row, col, rows, cols}, bits, bits);
}

namespace {

int32_t ifn_op_upd_chr(const uint32_t* args) {
  if (!args || args[0] < 2) return 0;
  auto* pcb = static_cast<Pcb*>(arena::at(args[1]));
  const auto* w = static_cast<const uint32_t*>(arena::at(args[2]));
  if (!pcb || !w) return 0;
  return op_upd_chr(pcb, w[0], int(w[1]), int(w[2]), int(w[3]), int(w[4]));
}

// ------------------------------------------------------ the report seam --

bool svc_has_report(Pcb* pcb) { return op_rpt(pcb) != nullptr; }
void svc_finish_page(Pcb* pcb) {
  EmCfrm* f = cur_frame(pcb);
  op_finish_pg(pcb, f ? f->code.get() : opfrm::kDetail);
}

// PRINT: the region becomes the report's PRINT image (it stands for image
// 1 while it is written), written into the current buffer.
int svc_print_region(Pcb* pcb, const IiRegion* g) {
  RmRpt* r = op_rpt(pcb);
  if (!r || !g || g->rows < 1 || g->rows > kRmMaxRows || g->width < 1 || g->width > kRmMaxCols) return 0;
  uint32_t len = uint32_t(g->rows * g->width) + kRmImgHead;
  if (r->print_img_size < len) {
    mm_free(r->print_img.get());
    r->print_img = Ref<RmImg>::of(static_cast<RmImg*>(MM_ALLOC(r->pool, len)));
    r->print_img_size = len;
  }
  RmImg* b = r->print_img.get();
  if (!b) return 0;
  std::memset(static_cast<void*>(b), 0, kRmImgHead);
  b->number = 1;
  // A region is cut at the page's right edge like any image: one that
  // starts past it prints its rows as blank lines.
  b->col = uint16_t(g->first);
  b->rows = uint32_t(g->rows);
  b->cols = uint32_t(g->width);
  b->sep = ' ';
  // No blank lines before or after: the status record's bytes 40 and 41
  // that the instruction hands on lie in a spare text field, blank (32)
  // unless something writes them, and would put 32 blank lines around
  // every region.
  std::memcpy(rm_img_text(b), g->text, size_t(g->rows * g->width));
  auto* x = static_cast<RmXimg*>(MM_ALLOC(r->pool, sizeof(RmXimg)));
  std::memset(static_cast<void*>(x), 0, sizeof *x);
  x->text = Ref<char>::of(static_cast<char*>(MM_ALLOC(r->pool, size_t(g->rows * g->width))));
  x->cells = Ref<RmCell>::of(static_cast<RmCell*>(MM_ALLOC(r->pool, size_t(g->rows * g->width) * sizeof(RmCell))));
  b->ximg = Ref<RmXimg>::of(x);
  Ref<RmImg> keep = r->cur_img;
  if (r->work_size < len) {
    mm_free(r->work.get());
    r->work = Ref<uint8_t>::of(static_cast<uint8_t*>(MM_ALLOC(r->pool, len)));
    r->work_size = len;
  }
  r->cur_img = r->print_img;
  int ok = rm_exec_img(r, 1);
  if (ok) ok = rm_empty(r, op_pcb(pcb).cur_buf, 0, 0) && rm_write_img(r, 1, nullptr, op_pcb(pcb).cur_buf, nullptr);
  r->cur_img = keep;
  mm_free(x->cells.get());
  mm_free(x->text.get());
  mm_free(x);
  return ok;
}

void svc_print_if_full(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  if (r && op_pcb(pcb).cur_buf == 0 && r->cur == r->body) op_prt_buf(pcb, 1, 0);
}

uint8_t* svc_accumulator(Pcb* pcb, uint32_t n) {
  OpPcb& o = op_pcb(pcb);
  if (!o.sums || n >= o.sum_count) return nullptr;
  return reinterpret_cast<uint8_t*>(&o.sums.get()[n]);
}

uint8_t* svc_bucket(Pcb* pcb, uint8_t* acc) {
  if (!acc) return nullptr;
  auto* s = reinterpret_cast<OpSum*>(acc);
  if (!s->buckets) return nullptr;
  uint32_t level = std::min<uint32_t>(op_pcb(pcb).cur_level, s->inner);
  return s->buckets.get() + level * kOpBucket;
}

int svc_upd_itm(Pcb* pcb, const uint8_t* item, uint32_t value, uint32_t select) {
  RmRpt* r = op_rpt(pcb);
  if (!r) return 0;
  RmItem it = rec::view<RmItem>(const_cast<uint8_t*>(item));
  if (!it.value && it.ira_sub)
    if (auto* slot = static_cast<Ref<uint8_t>*>(arena::at(it.ira_sub.get()))) it.value = *slot;
  return rm_upd_itm(r, it, value, select);
}

int svc_upd_chr(Pcb* pcb, const uint8_t* chr, uint32_t value, uint32_t select) {
  RmRpt* r = op_rpt(pcb);
  if (!r) return 0;
  const auto& c = rec::view<WmChr>(const_cast<uint8_t*>(chr));
  return rm_upd_chr(r, RmChrUpd{c.handle, c.row, c.col, std::max<int>(c.rows, 1), std::max<int>(c.cols, 1)}, value,
                    select);
}

// BROWSE: the BROWSE file's record for the printed line, when the report
// keeps one.
int svc_browse(Pcb* pcb, const uint8_t* rec_in, const uint8_t* key) {
  RmRpt* r = op_rpt(pcb);
  if (!r || !r->browse) return 1;
  FmArb* f = r->browse.get();
  uint8_t out[sizeof(IiBrowse)];
  std::memcpy(out, rec_in, sizeof out);
  auto& b = rec::view<IiBrowse>(out);
  b.page = r->page;
  b.line = uint16_t(r->page_len ? int(r->page_len) - r->lines_left : r->lines_left.get());
  b.zero = 0;
  b.key_len = kIiBrowseKey;
  auto* k = static_cast<uint8_t*>(MM_ALLOC(r->pool, kIiBrowseKey));
  std::memcpy(k, key, kIiBrowseKey);
  b.key = Ref<uint8_t>::of(k);
  f->op = 0;
  f->rec.set(out);
  f->rec_len = uint16_t(sizeof out);
  int ok = fm_write(f);
  f->rec.reset();
  return ok ? 1 : 0;
}

}  // namespace

void op_register() {
  ii_report_svc.has_report = svc_has_report;
  ii_report_svc.finish_page = svc_finish_page;
  ii_report_svc.print_region = svc_print_region;
  ii_report_svc.print_if_full = svc_print_if_full;
  ii_report_svc.accumulator = svc_accumulator;
  ii_report_svc.bucket = svc_bucket;
  ii_report_svc.upd_itm = svc_upd_itm;
  ii_report_svc.upd_chr = svc_upd_chr;
  ii_report_svc.browse = svc_browse;
  FpHooks h;
  h.sof = op_sof;
  h.eof = op_eof;
  h.img_exec = op_img_exec;
  fp_set_hooks(3, h);
  fp_set_hooks(9, h);
  static bool registered = false;
  if (!registered) ii_register_ifn("OP_UPD_CHR", ifn_op_upd_chr);
  registered = true;
}
