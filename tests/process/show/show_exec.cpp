// The "show" executor of the engine test program quvo-show: a stand-in for
// the frame processor, so that compiled frames show on a real terminal
// before the executors exist. It goes when the frame processor lands.
//
// For a Menu or Input process it takes the module's first frame, attaches
// a window per image at the image's screen place and writes its region from
// the image's screen text, characteristics and items (the items made live:
// the field's address as value, a text buffer, conversion at each show),
// sets the current frame and image and runs Start of Frame (21) and Before
// Image (42). Then it loops: shows the screen with the process's messages
// and waits for a key; the option and the cursor go into the status record
// and the run state; After Image (43) and After Frame (24) run. END (274)
// runs End of Frame (25) and ends the process with code 2; CANCEL (278)
// ends it with 4.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "language/ii.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/pishr.h"
#include "process/services.h"
#include "screen/wm.h"

namespace {

MmPool pool() { return mm_create_pool(" SHOWPOOL  ", com.depth, 0); }

// The records of a module sub-file whose key-0 prefix is the 4-byte image
// sequence, in key order (the stored records themselves).
template <class T, class F>
void each_of_image(FmArb* f, uint32_t img, F fn) {
  if (!f || !fm_is_handle(f)) return;
  FmArb* s = FM_ATTACH(f, nullptr, com.depth);
  if (!s) return;
  auto* k = static_cast<uint8_t*>(MM_ALLOC(pool(), 4));
  rec::view<rec::U32>(k) = img;
  s->key_no = 0;
  s->key.set(k);
  s->key_len = 4;
  s->op = FM_OP_AT | FM_OP_KEY;
  fm_start(s);
  s->key.reset();
  s->key_len = 0;
  s->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(s, 0)) {
    if (rec::view<rec::U32>(p).get() != img) break;
    fn(reinterpret_cast<T*>(p));
  }
  s->op = 0;
  fm_detach(s);
  mm_free(k);
}

// A compiled item made live: its value is the field's occurrence, its text
// a buffer of its own, converted at each show.
void live_item(Pcb* p, EmCitm* c) {
  auto* cv = reinterpret_cast<CvItem*>(reinterpret_cast<uint8_t*>(&c->wm) + 12);
  // The loader made the item's area index the address of its word in the
  // area address array.
  (void)p;
  auto* slot = static_cast<Ref<uint8_t>*>(arena::at(c->wm.ira_sub.get()));
  cv->int_addr.set(slot ? slot->get() : nullptr);
  size_t rows = std::max<size_t>(1, c->last_row - c->wm.row + 1);
  size_t cols = std::max<size_t>({size_t(1), size_t(c->last_col - c->wm.col + 1), size_t(cv->ext_len.get())});
  auto* text = static_cast<char*>(MM_ALLOC(pool(), rows * cols + 1));
  std::memset(text, ' ', rows * cols + 1);
  cv->ext_addr.set(text);
  c->wm.needs_cnv = 1;
  c->wm.upd = wmupd::kAsk;
}

// The value bytes an item showed last, so that only changed values are
// shown again (a BLANK of one display stays until the value changes).
std::string value_of(const EmCitm* c) {
  const auto* cv = reinterpret_cast<const CvItem*>(reinterpret_cast<const uint8_t*>(&c->wm) + 12);
  const uint8_t* v = cv->int_addr.get();
  return v ? std::string(reinterpret_cast<const char*>(v), c->wm.length.get()) : std::string();
}
std::map<const EmCitm*, std::string>& shown_values() {
  static std::map<const EmCitm*, std::string> m;
  return m;
}
void show_changed(EmHeader* em, PcbImageEnt* it, const EmCfrm* fr, bool all) {
  for (uint32_t i = fr->first_img; i && i <= fr->last_img && i <= em->n_images; ++i) {
    EmCimg* ci = it[i].cimg.get();
    if (!ci || !it[i].region) continue;
    each_of_image<EmCitm>(em->citm.get(), ci->seq, [&](EmCitm* c) {
      std::string v = value_of(c);
      auto [at, fresh] = shown_values().try_emplace(c, v);
      if (!all && !fresh && at->second == v) return;
      at->second = v;
      wm_upd_itm(it[i].region, &c->wm, 0, 0, 0);
    });
  }
}

void run_ep(Pcb* p, const uint8_t* rec, int ep, bool frame) {
  IlfExecBlock b;
  if (frame)
    II_EXEC_FRM(p, rec, ep, &b);
  else
    II_EXEC_IMG(p, rec, ep, &b);
}

void show_exec(Pcb* p) {
  EmHeader* em = p->module.get();
  PcbFrameEnt* ft = p->frame_tbl.get();
  PcbImageEnt* it = p->image_tbl.get();
  EmCfrm* fr = em && ft && em->n_frames ? ft[1].cfrm.get() : nullptr;
  if (!fr || !it) ut_unwind(2);
  uint32_t srf = 0;
  if (!wm_create_srf(&srf, com.depth)) ut_unwind(4);
  uint32_t first_img = 0;
  for (uint32_t i = fr->first_img; i && i <= fr->last_img && i <= em->n_images; ++i) {
    EmCimg* ci = it[i].cimg.get();
    if (!ci) continue;
    WmWnd w;
    INIT_WND(&w, 1, std::max(1, ci->row.get()), std::max(1, ci->col.get()), ci->rows, ci->cols, 0);
    if (!wm_attach(&w, srf, com.depth)) continue;
    std::vector<WmItem> items;
    std::vector<WmChr> chrs;
    each_of_image<EmCitm>(em->citm.get(), ci->seq, [&](EmCitm* c) {
      live_item(p, c);
      items.push_back(c->wm);
      if (PcbItemEnt* e = p->item_tbl.get(); e && c->item_no && c->item_no <= em->n_items) e[c->item_no].sig = 0xFFFFFFFFu;
    });
    each_of_image<WmChr>(em->cchr.get(), ci->seq, [&](WmChr* c) { chrs.push_back(*c); });
    const char* text = ci->text.get();
    size_t n = size_t(std::max(0, ci->rows.get())) * size_t(std::max(0, ci->cols.get()));
    wm_write_reg(w.region, text ? std::string_view(text, n) : std::string_view(), items, chrs);
    wm_actv(w.window);
    it[i].region = w.region.get();
    if (!first_img) first_img = i;
  }
  p->run.frame = fr->seq.get();
  p->run.image = first_img;
  EmCimg* cur = first_img ? it[first_img].cimg.get() : nullptr;
  auto* show = static_cast<WmShow*>(MM_ALLOC(pool(), sizeof(WmShow)));
  std::memset(static_cast<void*>(show), 0, sizeof *show);
  p->show.set(show);
  run_ep(p, reinterpret_cast<uint8_t*>(fr), 21, true);
  if (cur) run_ep(p, reinterpret_cast<uint8_t*>(cur), 42, false);
  // The values as Start of Frame and Before Image left them; an Input
  // process's cursor on its first item that takes input.
  show_changed(em, it, fr, true);
  if (p->invoc.type == 2 && cur && !p->run.curs_req)
    each_of_image<EmCitm>(em->citm.get(), cur->seq, [&](EmCitm* c) {
      if (p->run.curs_req || !(c->attr & 1u)) return;
      p->run.curs_req = wmshow::kReqField;
      p->run.req_row = c->wm.row.get();
      p->run.req_col = c->wm.col.get();
    });
  auto* st = reinterpret_cast<PdStatus*>(p->area_addr ? p->area_addr.get()[kPcbStatusArea].get() : nullptr);
  for (;;) {
    show->flags = uint8_t(wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack |
                          (show->flags & wmshow::kAlert));
    show->curs_req = uint8_t(p->run.curs_req.get());
    show->region = cur ? it[first_img].region.get() : 0;
    show->req_row = p->run.req_row.get();
    show->req_col = p->run.req_col.get();
    show_changed(em, it, fr, false);
    FmArb* mf = p->msg_file.get();
    if (!wm_show(show, mf ? arena::offset_of(mf) : 0)) ut_unwind(4);
    if (mf) fm_del_all(mf);
    show->flags = 0;
    uint16_t option = show->option;
    if (st) st->option = option;
    p->run.curs_req = 0;
    p->run.curs_row = show->row.get();
    p->run.curs_col = show->col.get();
    p->run.shown = show->cur_region ? show->cur_region.get() : show->region.get();
    if (st) {
      st->cursor_row = show->row.get();
      st->cursor_col = show->col.get();
    }
    if (option == opt::kCancel) ut_unwind(4);
    // Each answer starts the image's items afresh (their signatures reset).
    if (PcbItemEnt* e = p->item_tbl.get())
      for (uint32_t n = 1; n <= em->n_items; ++n) e[n].sig = 0xFFFFFFFFu;
    if (cur) run_ep(p, reinterpret_cast<uint8_t*>(cur), 43, false);
    run_ep(p, reinterpret_cast<uint8_t*>(fr), 24, true);
    if (option == opt::kEnd) {
      run_ep(p, reinterpret_cast<uint8_t*>(fr), 25, true);
      ut_unwind(2);
    }
  }
}

}  // namespace

// The one registration quvo-show adds to the engine's entry.
void show_register() {
  os_set_init(OsInit::Fp, [] {
    proc_svc.mp_exec = show_exec;
    proc_svc.ip_exec = show_exec;
    return 1;
  });
}
