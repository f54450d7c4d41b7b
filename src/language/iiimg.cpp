// The image, dynamic-item and message statements at run time: AT FIELD,
// POSITION, the attribute and display verbs on the current image's items,
// DEFINE and UNDEFINE, MESSAGE, WARNING, ERROR, CANCEL and REFRESH.
//
// The items are the module's compiled items (CITM), found by key 1 (image,
// application, field, occurrence, place); a change made to one stays for its
// later displays. Where the image is a report image (an Output process, or an
// Inquiry whose current frame is not of code 14) the changes go to the report
// manager instead of the window manager.
//
// Decisions:
//   1. Occurrences and ordinals in address registers are small numbers held
//      in the register word (LD_REG and the occurrence moves from 1).
//   2. A DEFINE whose item number is taken checks the go-ahead flag on every
//      run, not only before its first: a taken number never attaches a
//      second item.
//   3. Item numbers are 16 bits: a number above 65535 is 300250.
//   4. A DEFINE rectangle must lie inside the image's region (300330), as
//      the window manager would refuse it.
//   5. BROWSE without a report control block does nothing; its key is cut
//      at 82 bytes.
//   6. COLOR takes foreground and background 0-8 from the status record;
//      any other value counts as 0 (the terminal's default).
//   7. An attribute verb changes only the selected bits of a characteristic
//      (NORMAL's value has every bit but inverse set; written whole it would
//      turn the item's cells into a box of every attribute).
#include "language/iiimg.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "language/ibimg.h"
#include "language/ibmisc.h"
#include "language/ibtst.h"
#include "language/iiutil.h"
#include "process/em.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pishr.h"
#include "process/services.h"
#include "screen/wm.h"

namespace {

constexpr const char* kMod = "IIIMG.C";
constexpr uint32_t kErrNoMore = 300250, kErrRect = 300330, kErrUndefCmpl = 300480;
constexpr uint32_t kErrOverlap = 101890, kErrElemFile = 100110, kErrNoElem = 102080;
constexpr uint32_t kErrTplAlpha = 102230, kErrNoAddr = 102300;
constexpr int kBrowse = 95, kColor = 93, kOkInputVerb = 50, kNoInputVerb = 46, kBlinkVerb = 10;

void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

MmPool pool() { return mm_create_pool(" IIPOOL    ", com.base_scope, 0); }

uint8_t* area(Pcb* p, uint32_t n) {
  EmHeader* em = p ? p->module.get() : nullptr;
  if (!p || !p->area_addr || (em && em->n_areas < n)) return nullptr;
  return p->area_addr.get()[n].get();
}
PdStatus* status(Pcb* p) { return reinterpret_cast<PdStatus*>(area(p, kPcbStatusArea)); }
PdArea11* phase_rec(Pcb* p) { return reinterpret_cast<PdArea11*>(area(p, 11)); }
int phase(Pcb* p) {
  PdArea11* r = phase_rec(p);
  return r ? int(r->phase) : 0;
}
// Whether an item of this entry level is out of reach now (above ENTRY
// LEVEL, unless the phase is 7, change).
bool above_level(Pcb* p, const EmCitm& c) {
  PdArea11* r = phase_rec(p);
  return r && c.disp > r->entry_level && r->phase != 7;
}

EmCfrm* cur_frame(Pcb* p) {
  EmHeader* em = p->module.get();
  uint32_t f = p->run.frame;
  PcbFrameEnt* t = p->frame_tbl.get();
  if (!em || !t || f == 0 || f > em->n_frames) return nullptr;
  return t[f].cfrm.get();
}
PcbImageEnt* cur_image(Pcb* p) {
  EmHeader* em = p->module.get();
  uint32_t i = p->run.image;
  PcbImageEnt* t = p->image_tbl.get();
  if (!em || !t || i == 0 || i > em->n_images) return nullptr;
  return &t[i];
}
bool report_mode(Pcb* p) {
  int t = p->invoc.type;
  if (t == 3) return true;
  if (t != 9) return false;
  EmCfrm* f = cur_frame(p);
  return !f || f->code != 14;
}
uint32_t region(Pcb* p, int set_row) {
  rec::U32* r = proc_svc.fp_get_reg(p, set_row);
  return r ? r->get() : 0;
}
uint32_t reg_no(const uint8_t* r) { return uint32_t(reinterpret_cast<uintptr_t>(r)); }
uint8_t* as_reg(uint32_t n) { return reinterpret_cast<uint8_t*>(uintptr_t(n)); }

bool in_item(const EmCitm& c, int row, int col) {
  return row >= c.wm.row && row <= c.last_row && col >= c.wm.col && col <= c.last_col;
}

// The records of a module sub-file from a key on, in key order, each the
// stored record itself; fn returns false to stop. False when the file
// cannot be read (the system error `what`).
template <class T, class F>
bool scan(FmArb* f, int key_no, const uint8_t* key, size_t len, const char* what, F fn) {
  if (!f || !fm_is_handle(f)) return true;
  FmArb* s = FM_ATTACH(f, nullptr, com.depth);
  if (!s) {
    sys_err(__LINE__, what);
    return false;
  }
  static uint8_t* kbuf = static_cast<uint8_t*>(arena::alloc_chunk(64));
  std::memcpy(kbuf, key, std::min<size_t>(len, 64));
  s->key_no = uint8_t(key_no);
  s->key.set(kbuf);
  s->key_len = uint16_t(len);
  s->op = FM_OP_AT | FM_OP_KEY;
  fm_start(s);
  s->key.reset();
  s->key_len = 0;
  s->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(s, 0))
    if (!fn(reinterpret_cast<T*>(p))) break;
  s->op = 0;
  fm_detach(s);
  return true;
}

// Key 1 of CITM from (image, application, field, occurrence).
size_t citm_key1(uint8_t* k, uint32_t img, const char* app, const char* field, uint16_t occ) {
  rec::view<rec::U32>(k) = img;
  std::memcpy(k + 4, app, 3);
  std::memcpy(k + 7, field, 22);
  rec::view<rec::U16>(k + 29) = occ;
  return 31;
}
bool same_field(const EmCitm& c, const char* app, const char* field) {
  return std::memcmp(c.app.data(), app, 3) == 0 && std::memcmp(c.field.data(), field, 22) == 0;
}

// The compiled item of the current image showing (application, field,
// occurrence) as the ordinal-th of its items; null when none.
EmCitm* find_citm(Pcb* p, const char* app, const char* field, uint32_t occ, uint32_t ordinal) {
  EmHeader* em = p->module.get();
  uint32_t img = p->run.image;
  if (!em || !img || occ > 65535) return nullptr;
  uint8_t k[64];
  size_t n = citm_key1(k, img, app, field, uint16_t(occ));
  EmCitm* found = nullptr;
  uint32_t count = 0;
  scan<EmCitm>(em->citm.get(), 1, k, n, "find_citm() - attach failed", [&](EmCitm* c) {
    if (c->wm.handle != img || !same_field(*c, app, field) || c->occ != occ) return false;
    if (++count == ordinal) {
      found = c;
      return false;
    }
    return true;
  });
  return found;
}

PcbItemEnt* item_ent(Pcb* p, const EmCitm& c) {
  EmHeader* em = p->module.get();
  PcbItemEnt* t = p->item_tbl.get();
  uint32_t n = c.item_no;
  if (!em || !t || n == 0 || n > em->n_items) return nullptr;
  return &t[n];
}

// The report copy of an item or characteristic: its first word the image's
// report handle.
uint32_t report_handle(Pcb* p) {
  PcbImageEnt* e = cur_image(p);
  return e ? (e->region.get() & 0xFFFF) : 0;
}

// BROWSE: the browse record of the item (28 bytes) and the key of the PCF's
// current record (its key 0 parts, at most 82 bytes).
void browse(Pcb* p, const EmCitm& c) {
  if (!ii_report_svc.has_report(p)) return;
  EmHeader* em = p->module.get();
  uint8_t r[sizeof(IiBrowse)] = {}, key[kIiBrowseKey];
  std::memset(key, ' ', sizeof key);
  auto& br = rec::view<IiBrowse>(r);
  br.page = report_handle(p);
  br.zero = uint16_t(c.wm.col.get());
  if (em) std::memcpy(br.app.data(), reinterpret_cast<uint8_t*>(em) + 96, 11);
  br.key_len = kIiBrowseKey;
  const uint8_t* buf = p->pcf_buf1.get();
  // The record's length, which bounds the key's segments: they come from
  // the module, which may have been saved by anyone of the group.
  const auto* fc = static_cast<const PiFileCtl*>(p->pcf_entry.get());
  const EmCfi* cfi = fc ? fc->cfi.get() : nullptr;
  const size_t rec_len = cfi ? cfi->fdb.rec_len.get() : 0;
  size_t at = 0;
  if (em && buf) {
    uint8_t k0[2] = {0, 0};
    scan<EmPk>(em->pk.get(), 0, k0, 2, "upd_itm_chr() - attach failed", [&](EmPk* pk) {
      if (pk->key_no != 0 || at >= sizeof key) return false;
      if (size_t(pk->offset) + pk->length > rec_len) return true;  // none of the record's
      size_t n = std::min<size_t>(pk->length, sizeof key - at);
      std::memcpy(key + at, buf + pk->offset.get(), n);
      at += n;
      return true;
    });
  }
  ii_report_svc.browse(p, r, key);
}

bool is_date(int t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }

// An attribute verb on one item.
void upd_itm_chr(Pcb* p, EmCitm* c, int verb, uint32_t value, uint32_t select, uint32_t inherit, bool report) {
  EmHeader* em = p->module.get();
  if (verb == kBrowse) browse(p, *c);
  if (above_level(p, *c)) return;
  uint32_t code = c->secr[2];
  bool locked = code != 0xFFFFFFFFu && !pi_chk_secr(int32_t(code), p);
  int ph = phase(p);
  if (verb == kOkInputVerb && (!(c->attr & 1u) || locked || ph == 3)) return;
  if (verb == kNoInputVerb && ph == 6) return;
  if (verb == kBlinkVerb) {
    p->run.curs_row = c->wm.row.get();
    p->run.curs_col = c->wm.col.get();
    p->run.req_row = c->wm.row.get();
    p->run.req_col = c->wm.col.get();
    p->run.curs_req = wmshow::kReqField;
  }
  uint8_t colour = 0;
  if (verb == kColor) {
    if (PdStatus* st = status(p)) {
      uint8_t fg = st->fg_color, bg = st->bg_color;
      colour = uint8_t((fg <= 8 ? fg : 0) * 16 + (bg <= 8 ? bg : 0));
    }
  }
  PcbItemEnt* ent = item_ent(p, *c);
  uint32_t eff = select | (inherit & (ent ? ent->sig.get() : 0u));
  if (ent) {
    ent->sig = verb == kOkInputVerb ? (ent->sig | eff) : (ent->sig & ~eff);
    if (eff & 1u) ent->input = uint8_t(value & 1u);
  }
  uint32_t reg = report ? 0 : region(p, 0);
  bool date_note = false;
  uint8_t k[12];
  rec::view<rec::U32>(k) = c->wm.handle.get();
  rec::view<rec::I32>(k + 4) = c->wm.row.get();
  rec::view<rec::I32>(k + 8) = c->wm.col.get();
  scan<WmChr>(em ? em->cchr.get() : nullptr, 1, k, 12, "upd_itm_chr() - attach failed", [&](WmChr* ch) {
    if (ch->handle != c->wm.handle || ch->item_row != c->wm.row || ch->item_col != c->wm.col) return false;
    if ((verb == kOkInputVerb || verb == kNoInputVerb) && is_date(c->wm.data_type)) date_note = true;
    // Only the selected bits change: the others (a box, the fixed-text
    // mark) stay the characteristic's own.
    ch->attr = (ch->attr & ~eff) | (value & eff);
    ch->colour = colour;
    if (report) {
      WmChr copy = *ch;
      copy.handle = report_handle(p);
      ii_report_svc.upd_chr(p, reinterpret_cast<uint8_t*>(&copy), value, eff);
    } else if (reg) {
      wm_upd_chr(reg, ch, eff);
    }
    return true;
  });
  if (!date_note) return;
  uint8_t keep = c->wm.input;
  c->wm.needs_cnv = 1;
  c->wm.input = verb == kOkInputVerb ? 1 : 0;
  if (report) {
    WmItem copy = c->wm;
    copy.handle = report_handle(p);
    ii_report_svc.upd_itm(p, reinterpret_cast<uint8_t*>(&copy), 0, 0);
  } else if (reg) {
    wm_upd_itm(reg, &c->wm, 0, 0, 0);
  }
  c->wm.input = keep;
}

// BLANK or DISPLAY on one item; keep: the item's display mode is put back.
void upd_dspl(Pcb* p, EmCitm* c, bool blank, bool report, bool keep) {
  uint32_t value = blank ? 0u : 0xFFFFFFEFu, select = blank ? 0u : 0x10u;
  uint32_t code = c->secr[1];
  if (code != 0xFFFFFFFFu && !pi_chk_secr(int32_t(code), p)) value = select = 0x10;
  uint8_t mode = c->wm.dspl_mode;
  c->wm.dspl_mode = blank ? 2 : 0;
  c->wm.needs_cnv = 1;
  if (report) {
    WmItem copy = c->wm;
    copy.handle = report_handle(p);
    ii_report_svc.upd_itm(p, reinterpret_cast<uint8_t*>(&copy), value, select);
  } else if (uint32_t reg = region(p, 0)) {
    c->wm.upd = wmupd::kAsk;
    wm_upd_itm(reg, &c->wm, value, select, 0);
    if (c->wm.upd == wmupd::kLater) p->run.redisplay = 1;
  }
  if (PcbItemEnt* e = item_ent(p, *c)) e->pending = 0;
  if (keep) c->wm.dspl_mode = mode;
}

bool has_items(Pcb* p) {
  EmHeader* em = p->module.get();
  return em && em->n_items && p->run.image;
}

// ---------------------------------------------------------- AT FIELD --
uint8_t* at_field(IlfExecBlock* b, IlfState* s, uint8_t* pc, int variant) {
  Pcb* p = b->pcb;
  auto& in = rec::view<IbPos>(pc);
  EmHeader* em = p->module.get();
  const int row = p->run.curs_row, col = p->run.curs_col;
  const uint32_t img = p->run.image;
  // A scrolling frame's image is searched only on the row shown now.
  PcbScroll* sb = p->scroll_img.get();
  PcbFrameEnt* fe = p->frame_tbl.get() && p->run.frame ? &p->frame_tbl.get()[p->run.frame] : nullptr;
  bool scrolling = sb && fe && sb->frame.get() == fe;
  bool searchable = em && em->n_items && row != 0 && img;
  if (searchable && scrolling) {
    auto* rr = sb->region ? reinterpret_cast<WmRegRec*>(arena::at(sb->region.get())) : nullptr;
    searchable = sb->region.get() == p->run.shown.get() && rr && rr->cur_row == sb->row.get();
  }
  bool found = false;
  EmCitm* hit = nullptr;
  uint32_t ord = 1;
  if (searchable) {
    if (variant == 0) {
      in.app.clear();
      in.field.clear();
    }
    uint16_t occ = variant >= 3 ? s->len[0] : uint16_t(1);
    uint8_t k[64];
    size_t n = citm_key1(k, img, in.app.data(), in.field.data(), variant == 0 ? uint16_t(0) : occ);
    if (variant == 1) n = 7;
    if (variant == 0) n = 4;
    uint16_t held = occ;
    bool first = true;
    scan<EmCitm>(em->citm.get(), 1, k, n, "Attach failed", [&](EmCitm* c) {
      if (c->wm.handle != img) return false;
      if (variant == 0 || variant == 1) {
        if (variant == 1 && std::memcmp(c->app.data(), in.app.data(), 3) != 0) return false;
        if (!same_field(*c, in.app.data(), in.field.data())) {
          std::memcpy(in.app.data(), c->app.data(), 3);
          std::memcpy(in.field.data(), c->field.data(), 22);
          held = c->occ;
          ord = 1;
        } else if (c->occ != held) {
          held = c->occ;
          ord = 1;
        }
      } else if (!same_field(*c, in.app.data(), in.field.data())) {
        return false;
      } else if (variant == 2) {
        if (first || c->occ != held) {
          if (!first) ord = 1;
          held = c->occ;
        }
      } else if (c->occ != s->len[0]) {
        return false;
      }
      first = false;
      if (above_level(p, *c)) return false;
      if (region(p, 0) != p->run.shown.get()) return false;
      if (variant <= 3) {
        if (in_item(*c, row, col)) {
          found = true;
          hit = c;
          return false;
        }
        ++ord;
        return true;
      }
      if (ord == s->len[1]) {
        found = in_item(*c, row, col);
        hit = c;
        return false;
      }
      ++ord;
      return true;
    });
  }
  PdStatus* st = status(p);
  bool truth = found;
  if (st) {
    st->item_occ = found ? hit->occ.get() : uint16_t(0);
    st->item_ordinal = found ? uint16_t(ord) : uint16_t(0);
  }
  if (!found && variant == 0 && scrolling && searchable) truth = true;
  s->mask = ii_set_tf(s->mask, truth ? 1 : 2, in.shift);
  return ii_adv(pc, 30);
}
uint8_t* inst_at_field_0(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return at_field(b, s, pc, 0); }
uint8_t* inst_at_field_1(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return at_field(b, s, pc, 1); }
uint8_t* inst_at_field_2(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return at_field(b, s, pc, 2); }
uint8_t* inst_at_field_3(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return at_field(b, s, pc, 3); }
uint8_t* inst_at_field_4(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return at_field(b, s, pc, 4); }

// ---------------------------------------------------------- POSITION --
uint8_t* inst_position_0(IlfExecBlock* b, IlfState*, uint8_t* pc) {
  Pcb* p = b->pcb;
  EmHeader* em = p->module.get();
  PdStatus* st = status(p);
  if (em && em->n_items && st) {
    int row = std::max(1, std::min<int>(st->cursor_row, com.rows));
    int col = std::max(1, std::min<int>(st->cursor_col, com.cols));
    st->cursor_row = row;
    st->cursor_col = col;
    p->run.req_row = row;
    p->run.req_col = col;
    p->run.curs_req = wmshow::kReqPos;
    p->run.curs_row = 0;
    p->run.curs_col = 0;
    uint8_t k[12];
    rec::view<rec::U32>(k) = p->run.image.get();
    rec::view<rec::I32>(k + 4) = row;
    rec::view<rec::I32>(k + 8) = col;
    scan<EmCitm>(em->citm.get(), 0, k, 12, "Attach failed", [&](EmCitm* c) {
      if (c->wm.handle == p->run.image && c->wm.row == row && c->wm.col == col) {
        p->run.curs_row = row;
        p->run.curs_col = col;
      }
      return false;
    });
  }
  return ii_adv(pc, 30);
}
uint8_t* inst_position_4(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  Pcb* p = b->pcb;
  EmHeader* em = p->module.get();
  auto& in = rec::view<IbPos>(pc);
  auto* first_dyn = reinterpret_cast<IiDynItem*>(p->run.dyn_first.get());
  if (!em || (!em->n_items && !first_dyn)) return ii_adv(pc, 30);
  p->run.curs_row = 0;
  p->run.curs_col = 0;
  const EmCitm* chosen = nullptr;
  uint32_t ord = 1;
  const uint32_t img = p->run.image;
  uint8_t k[64];
  size_t n = citm_key1(k, img, in.app.data(), in.field.data(), s->len[0]);
  scan<EmCitm>(em->citm.get(), 1, k, n, "Attach failed", [&](EmCitm* c) {
    if (c->wm.handle != img || !same_field(*c, in.app.data(), in.field.data()) || c->occ != s->len[0]) return false;
    if (above_level(p, *c)) return false;
    if (ord == s->len[1]) {
      chosen = c;
      return false;
    }
    ++ord;
    return true;
  });
  for (IiDynItem* d = first_dyn; !chosen && d; d = d->next.get()) {
    if (std::memcmp(d->app.data(), in.app.data(), 3) != 0 || std::memcmp(d->field.data(), in.field.data(), 22) != 0 ||
        d->citm.occ != s->len[0])
      continue;
    if (above_level(p, d->citm)) continue;
    if (ord == s->len[1]) chosen = &d->citm;
  }
  PdStatus* st = status(p);
  if (chosen && st) {
    int r = chosen->wm.row, c = chosen->wm.col;
    st->cursor_row = r <= com.rows ? r : int(com.rows);
    st->cursor_col = c <= com.cols ? c : int(com.cols);
    if (r <= com.rows) p->run.curs_row = r;
    if (c <= com.cols) p->run.curs_col = c;
  }
  if (st) {
    p->run.req_row = st->cursor_row.get();
    p->run.req_col = st->cursor_col.get();
  }
  p->run.curs_req = wmshow::kReqField;
  return ii_adv(pc, 30);
}
uint8_t* inst_position_3(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  s->len[1] = 1;
  if (rec::view<IbInst>(pc).op == 648) rec::view<IbInst>(pc).op = 649;
  return inst_position_4(b, s, pc);
}
uint8_t* inst_position_2(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  s->len[0] = 1;
  if (rec::view<IbInst>(pc).op == 646) rec::view<IbInst>(pc).op = 647;
  return inst_position_3(b, s, pc);
}

// ------------------------------------------------ attribute verbs --
uint8_t* inst_chr_def(IlfExecBlock* b, IlfState*, uint8_t* pc) {
  Pcb* p = b->pcb;
  auto& in = rec::view<IbChrDef>(pc);
  if (has_items(p))
    if (EmCitm* c = find_citm(p, in.app.data(), in.field.data(), in.occ, in.ordinal))
      upd_itm_chr(p, c, in.verb, in.value, in.select, in.inherit, report_mode(p));
  return ii_adv(pc, 92);
}
uint8_t* inst_chr_var(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  Pcb* p = b->pcb;
  auto& in = rec::view<IbChrVar>(pc);
  if (has_items(p))
    if (EmCitm* c = find_citm(p, in.app.data(), in.field.data(), reg_no(s->addr[0]), reg_no(s->addr[1])))
      upd_itm_chr(p, c, in.verb, in.value, in.select, in.inherit, report_mode(p));
  return ii_adv(pc, 80);
}
uint8_t* inst_chr_all(IlfExecBlock* b, IlfState*, uint8_t* pc) {
  Pcb* p = b->pcb;
  auto& in = rec::view<IbChrAll>(pc);
  PcbImageEnt* ie = cur_image(p);
  EmCimg* ci = ie ? ie->cimg.get() : nullptr;
  PcbItemEnt* t = p->item_tbl.get();
  EmHeader* em = p->module.get();
  if (has_items(p) && ci && t && ci->first_item != 0) {
    bool report = report_mode(p);
    uint32_t last = std::min<uint32_t>(ci->last_item, em->n_items);
    for (uint32_t n = last; n >= ci->first_item && n >= 1; --n)
      if (EmCitm* c = t[n].citm.get()) upd_itm_chr(p, c, in.verb, in.value, in.select, in.inherit, report);
  }
  return ii_adv(pc, 56);
}

// -------------------------------------------------- display verbs --
uint8_t* inst_dspl_def(IlfExecBlock* b, IlfState*, uint8_t* pc) {
  Pcb* p = b->pcb;
  auto& in = rec::view<IbDsplDef>(pc);
  if (has_items(p))
    if (EmCitm* c = find_citm(p, in.app.data(), in.field.data(), in.occ, in.ordinal))
      upd_dspl(p, c, in.blank != 0, report_mode(p), true);
  return ii_adv(pc, 44);
}
uint8_t* inst_dspl_var(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  Pcb* p = b->pcb;
  auto& in = rec::view<IbDsplVar>(pc);
  if (has_items(p))
    if (EmCitm* c = find_citm(p, in.app.data(), in.field.data(), reg_no(s->addr[0]), reg_no(s->addr[1])))
      upd_dspl(p, c, in.blank != 0, report_mode(p), false);
  return ii_adv(pc, 32);
}
uint8_t* inst_dspl_all(IlfExecBlock* b, IlfState*, uint8_t* pc) {
  Pcb* p = b->pcb;
  auto& in = rec::view<IbDsplAll>(pc);
  if (has_items(p)) {
    EmHeader* em = p->module.get();
    const uint32_t img = p->run.image;
    bool report = report_mode(p);
    uint8_t k[4];
    rec::view<rec::U32>(k) = img;
    scan<EmCitm>(em->citm.get(), 1, k, 4, "Attach failed", [&](EmCitm* c) {
      if (c->wm.handle != img) return false;
      upd_dspl(p, c, in.blank != 0, report, true);
      return true;
    });
  }
  return ii_adv(pc, 6);
}

uint8_t* inst_ld_reg(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  int r = int(ii_op(pc) - kIbLdReg1) / 2;
  s->addr[r & 3] = as_reg(uint32_t(rec::view<IbLdReg>(pc).value.get()));
  return ii_adv(pc, 8);
}

// ------------------------------------------------------ dynamic items --
IiDynItem* dyn_first(Pcb* p) { return reinterpret_cast<IiDynItem*>(p->run.dyn_first.get()); }
IiDynItem* dyn_with(Pcb* p, uint32_t no) {
  for (IiDynItem* d = dyn_first(p); d; d = d->next.get())
    if (d->item_no == no) return d;
  return nullptr;
}

uint8_t* inst_def_add_app(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  Pcb* p = b->pcb;
  EmHeader* em = p->module.get();
  uint32_t n = (em ? em->n_items.get() : 0u) + 1;
  while (n <= 65535 && dyn_with(p, n)) ++n;
  if (n > 65535) return ii_fail(b, s, kErrNoMore);
  s->addr[1] = as_reg(n);
  s->go_ahead = 1;
  return ii_adv(pc, 4);
}

uint8_t* inst_def_detach(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  Pcb* p = b->pcb;
  EmHeader* em = p->module.get();
  uint32_t n = reg_no(s->addr[1]);
  if (n > 65535) return ii_fail(b, s, kErrNoMore);
  if (n > (em ? em->n_items.get() : 0u) && !dyn_with(p, n)) {
    s->go_ahead = 1;
  } else {
    sys_err(__LINE__, "ii_exec() - can't modify DEFINE record");
    s->mask = ii_set_tf(s->mask, 2, rec::view<IbDef>(pc).shift);
    s->go_ahead = 0;
  }
  return ii_adv(pc, 40);
}

// The option bytes of the DEFINE record and their defaults.
struct DefRec {
  rec::I32 row, col, rows, cols;   // 0
  rec::Text<3> tpl_app;            // 16
  rec::Text<22> tpl_field;         // 19
  rec::Text<60> mask;              // 41
  rec::U8 opt[14];                 // 101 .. 114
};
QV_RECORD(DefRec, 115);
QV_AT(DefRec, tpl_app, 16);
QV_AT(DefRec, mask, 41);
QV_AT(DefRec, opt, 101);
uint8_t opt(const DefRec& r, int at) {
  static const char kDflt[14] = {'0', ' ', '0', '0', '0', '0', '0', ' ', '0', ' ', ' ', ' ', ' ', '0'};
  uint8_t v = r.opt[at - 101];
  if (at == 112) return v <= 4 ? v : 0;
  if (at == 108 || at == 110 || at == 111) return v;
  return v == '0' || v == '1' || v == ' ' ? v : uint8_t(kDflt[at - 101]);
}

uint8_t* inst_def_attach(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  Pcb* p = b->pcb;
  auto& in = rec::view<IbDef>(pc);
  // A taken item number stops every run of the DEFINE, not only its first.
  if (!s->go_ahead) return ii_adv(pc, 40);
  EmHeader* em = p->module.get();
  const uint8_t* rp = ii_field(pc + 32);
  PcbImageEnt* ie = cur_image(p);
  EmCimg* ci = ie ? ie->cimg.get() : nullptr;
  uint32_t reg = region(p, 1);
  if (!rp || !em) return ii_no_field(b, s, "inst_def_attach");
  const auto& r = rec::view<DefRec>(const_cast<uint8_t*>(rp));
  // The rectangle, on the screen and inside the image's region.
  int row = r.row, col = r.col, rows = r.rows, cols = r.cols;
  auto* rr = reg ? reinterpret_cast<WmRegRec*>(arena::at(reg)) : nullptr;
  if (!ci || !rr || row < 0 || col < 0 || rows < 1 || cols < 1 || rows > com.rows || cols > com.cols ||
      row + rows > rr->rows || col + cols > rr->cols)
    return ii_fail(b, s, kErrRect);
  // The field's element, from the application's dictionary.
  char app[4] = {}, ver[3] = "00";
  std::memcpy(app, in.app.data(), 3);
  if (std::memcmp(p->invoc.app.data(), app, 3) == 0) std::memcpy(ver, p->invoc.ver.data(), 2);
  FmArb* el = ii_open_delem_fi(app, ver);
  if (!el) return ii_fail(b, s, kErrElemFile);
  auto* e = static_cast<DElem*>(MM_ALLOC(pool(), sizeof(DElem)));
  std::memset(static_cast<void*>(e), ' ', sizeof *e);
  std::memcpy(e->name.data(), in.field.data(), 22);
  PROTO_FULL(el, 0, reinterpret_cast<uint8_t*>(e));
  int got = fm_read(el);
  FM_CLOSE(el, 0);
  struct Free {
    void* p;
    ~Free() {
      if (p) mm_free(p);
    }
  } free_e{e};
  if (!got) return ii_fail(b, s, kErrNoElem);
  bool tpl = !r.tpl_field.blank();
  if (tpl && e->type != 1 && e->type != 2) return ii_fail(b, s, kErrTplAlpha);
  // The template field, from its application's dictionary.
  DElem* t = nullptr;
  if (tpl) {
    char tapp[4] = {}, tver[3] = "00";
    std::memcpy(tapp, r.tpl_app.blank() ? in.app.data() : r.tpl_app.data(), 3);
    if (std::memcmp(p->invoc.app.data(), tapp, 3) == 0) std::memcpy(tver, p->invoc.ver.data(), 2);
    FmArb* tf = ii_open_delem_fi(tapp, tver);
    if (!tf) return ii_fail(b, s, kErrElemFile);
    t = static_cast<DElem*>(MM_ALLOC(pool(), sizeof(DElem)));
    std::memset(static_cast<void*>(t), ' ', sizeof *t);
    std::memcpy(t->name.data(), r.tpl_field.data(), 22);
    PROTO_FULL(tf, 0, reinterpret_cast<uint8_t*>(t));
    int found = fm_read(tf);
    FM_CLOSE(tf, 0);
    if (!found) {
      mm_free(t);
      return ii_fail(b, s, kErrNoElem);
    }
  }
  Free free_t{t};
  uint32_t occ = reg_no(s->addr[0]);
  uint8_t* addr = occ >= 1 && occ <= std::max<uint32_t>(1, e->occurs)
                      ? pi_find_addr(p, app, e->area, 0, e->offset + (occ - 1) * e->length, nullptr)
                      : nullptr;
  if (!addr) return ii_fail(b, s, kErrNoAddr);
  // Overlap with a compiled item of the image.
  UtRect mine{row + 1, col + 1, row + rows, col + cols};
  bool overlap = false;
  uint8_t k[4];
  rec::view<rec::U32>(k) = ci->seq.get();
  scan<EmCitm>(em->citm.get(), 0, k, 4, "Attach failed", [&](EmCitm* c) {
    if (c->wm.handle != ci->seq) return false;
    UtRect other{c->wm.row, c->wm.col, c->last_row, c->last_col};
    UtSubdiv sd;
    if (ut_subdiv(mine, other, &sd)) {
      overlap = true;
      return false;
    }
    return true;
  });
  if (overlap) return ii_fail(b, s, kErrOverlap);
  // The item.
  auto* d = static_cast<IiDynItem*>(MM_ALLOC(pool(), sizeof(IiDynItem)));
  std::memset(static_cast<void*>(d), 0, sizeof *d);
  EmCitm& c = d->citm;
  CElem ce;
  std::memset(static_cast<void*>(&ce), 0, sizeof ce);
  ce.e = *e;
  if (t) {
    // The template's form over the field's value: its type (a token list
    // over a binary shown as text), token list and mask.
    ce.e.type = t->type == 5 && t->token_mark ? uint8_t(1) : t->type.get();
    ce.e.token_mark = t->token_mark;
    ce.e.domain = t->domain;
    ce.e.mask = t->mask;
    ce.e.digits = t->digits;
    ce.e.decimals = t->decimals;
    ce.e.sign = t->sign;
  }
  char mask[60];
  std::memcpy(mask, r.mask.data(), 60);
  bool has_mask = !r.mask.blank() && !ut_is_all(mask, 0, 60);
  bool numeric = ce.e.type == 5 || ce.e.type == 8 || ce.e.type == 12;
  bool use_mask = has_mask && (!numeric || opt(r, 101) == '1');
  CvSitm sitm{use_mask ? mask : nullptr, 0};
  auto* cv = reinterpret_cast<CvItem*>(reinterpret_cast<uint8_t*>(&c.wm) + 12);
  char ever[3] = {};
  std::memcpy(ever, ver, 2);
  if (!cv_bld_sitm(cv, &ce, &sitm, app, ever)) {
    mm_free(d);
    return ii_fail(b, s, kErrNoAddr);
  }
  CvBounds bounds{rows, cols};
  CvBlock blk;
  if (!cv_cmpl(&blk, cv, &bounds, pool())) {
    uint32_t m = cv->msg ? uint32_t(cv->msg) : 102020u;
    mm_free(d);
    return ii_fail(b, s, m);
  }
  // An alpha template's '*' positions take the template's own characters,
  // within the field's length.
  if (t && (t->type == 1 || t->type == 2 || t->type == 13))
    for (size_t i = 0; i < 60 && i < e->length; ++i)
      if (t->mask[i] == '*') addr[i] = uint8_t(t->initial[i]);
  c.wm.handle = ci->seq.get();
  c.wm.row = row + 1;
  c.wm.col = col + 1;
  c.last_row = row + rows;
  c.last_col = col + cols;
  c.occ = uint16_t(occ);
  std::memcpy(c.app.data(), r.tpl_app.data(), 3);
  std::memcpy(c.field.data(), r.tpl_field.data(), 22);
  c.disp = 1;
  c.item_no = uint16_t(ci->last_item + 1);
  c.wm.dspl_mode = 0;
  c.wm.needs_cnv = 1;
  cv->int_addr.set(addr);
  size_t tlen = size_t(std::max<int>(rows * cols, cv->ext_len * std::max<int>(1, int(cv->rows))));
  char* text = static_cast<char*>(MM_ALLOC(pool(), tlen + 1));
  std::memset(text, ' ', tlen + 1);
  cv->ext_addr.set(text);
  // Attribute masks.
  uint32_t value = 0x200A, select = 0x3C3F, mask_w = 0, extra = 0x1000;
  uint8_t inp = opt(r, 102), o103 = opt(r, 103), hid = opt(r, 104), ul = opt(r, 105), br = opt(r, 106),
          inv = opt(r, 107);
  if (inp == '1') mask_w |= 1, value |= 1;
  if (o103 == '1') mask_w |= 4, value |= 4;
  else if (o103 == ' ') extra |= 4;
  if (br == '1') mask_w |= 0x40, value |= 0x40;
  else if (br == ' ') extra |= 0x40;
  if (br != ' ') select |= 0x40;
  if (hid == '1') mask_w |= 0x30, value |= 0x30;
  if (inv != ' ') select |= 0x80;
  if (inv == '1') mask_w |= 0x80, value |= 0x80;
  if (ul != ' ') select |= 0x100;
  if (ul == '1') mask_w |= 0x100, value |= 0x100;
  if (((e->type == 1 || e->type == 2) && e->entry_flag != '1') || e->type == 11) mask_w |= 0x400, value |= 0x400;
  c.attr = mask_w;
  c.attr_mask = extra;
  c.input = inp == ' ' ? 0 : 1;
  c.wm.input = inp == '1' ? 1 : 0;
  if (!wm_insert_itm(reg, &c.wm, mask_w, 0xFFFFFFFFu, 0)) {
    mm_free(text);
    mm_free(d);
    return ii_fail(b, s, kErrNoMore);
  }
  uint32_t v2 = inp == '1' ? value | extra : value, s2 = inp == '1' ? select | extra : select;
  WmChr ch;
  CHR_PREP(&ch);
  ch.handle = c.wm.handle.get();
  ch.row = c.wm.row.get();
  ch.col = c.wm.col.get();
  ch.rows = rows;
  ch.cols = cols;
  ch.attr = v2;
  ch.item_row = c.wm.row.get();
  ch.item_col = c.wm.col.get();
  wm_upd_chr(reg, &ch, s2);
  // The record, at the end of the PCB's list.
  d->app = in.app;
  d->field = in.field;
  d->item_no = uint16_t(reg_no(s->addr[1]));
  d->mask = mask_w;
  d->chr_select = s2;
  IiDynItem* last = reinterpret_cast<IiDynItem*>(p->run.dyn_last.get());
  d->prev.set(last);
  if (last) last->next.set(d);
  else p->run.dyn_first.set(reinterpret_cast<uint8_t*>(d));
  p->run.dyn_last.set(reinterpret_cast<uint8_t*>(d));
  if (PdStatus* st = status(p)) st->item_ordinal = d->item_no.get();
  s->mask = ii_set_tf(s->mask, 1, in.shift);
  return ii_adv(pc, 40);
}

uint8_t* rloc_def_attach(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (!s->go_ahead) return ii_adv(pc, 40);
  if (!ib_rloc_operands(s->module, pc)) {
    sys_err(__LINE__, "ii_rloc() - bad operand of RLOC_DEF_ATTACH");
    ii_end_ep(b, s);
    return ii_stop(s);
  }
  rec::view<IbInst>(pc).op = uint16_t(kIbDefine + 1);
  return inst_def_attach(b, s, pc);
}

uint8_t* inst_undef(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  Pcb* p = b->pcb;
  EmHeader* em = p->module.get();
  auto& in = rec::view<IbUndef>(pc);
  int mode = in.mode;
  uint32_t occ = reg_no(s->addr[0]) & 0xFFFF, no = reg_no(s->addr[1]);
  if (mode == 4 && no <= (em ? em->n_items.get() : 0u)) return ii_fail(b, s, kErrUndefCmpl);
  for (IiDynItem* d = dyn_first(p); d;) {
    IiDynItem* next = d->next.get();
    bool match = mode == 0 ||
                 (std::memcmp(d->app.data(), in.app.data(), 3) == 0 &&
                  (mode == 1 || (std::memcmp(d->field.data(), in.field.data(), 22) == 0 &&
                                 (mode == 2 || (d->citm.occ == occ && (mode == 3 || d->item_no == no))))));
    if (match) undef_itm(p, d);
    d = next;
  }
  return ii_adv(pc, 30);
}

// ------------------------------------------------------------ messages --
// The text of a message instruction: its constant or the field at address
// register 1, translated for the PCB's language.
std::string msg_text(Pcb* p, IlfState* s, const uint8_t* text, uint16_t len) {
  std::string t;
  if (text && len) t.assign(reinterpret_cast<const char*>(text), len);
  if (!t.empty() && !ut_is_all(p->lang.data(), ' ', 3)) {
    EmHeader* em = s->module;
    char app[4] = {}, ver[3] = {};
    std::memcpy(app, p->invoc.app.data(), 3);
    std::memcpy(ver, p->invoc.ver.data(), 2);
    char lang[4] = {};
    std::memcpy(lang, p->lang.data(), 3);
    (void)em;
    fm_xlate_fld(nullptr, nullptr, lang, t.data(), t.size(), app, ver, 0, "BTOD", 0);
  }
  return t;
}

// Writes one message record (key 0, kind, length, text) to f.
bool write_msg(FmArb* f, uint16_t kind, const std::string& text) {
  if (!f) return false;
  size_t limit = text.size();
  if (f->file && f->file->fdb.rec_len > sizeof(LaQueueRec))
    limit = std::min<size_t>(limit, f->file->fdb.rec_len - sizeof(LaQueueRec));
  auto* r = static_cast<uint8_t*>(MM_ALLOC(pool(), sizeof(LaQueueRec) + limit + 1));
  auto& h = rec::view<LaQueueRec>(r);
  h.key = 0;
  h.severity = kind;
  h.length = uint16_t(limit);
  std::memcpy(r + sizeof(LaQueueRec), text.data(), limit);
  f->op = 0;
  f->rec.set(r);
  f->rec_len = uint16_t(sizeof(LaQueueRec) + limit);
  int ok = fm_write(f);
  f->rec.reset();
  f->rec_len = 0;
  mm_free(r);
  return ok != 0;
}

uint8_t* message(IlfExecBlock* b, IlfState* s, uint8_t* pc, const uint8_t* text) {
  Pcb* p = b->pcb;
  auto& in = rec::view<IbMsg>(pc);
  uint32_t kind = in.kind;
  std::string t = msg_text(p, s, text, in.len);
  if (kind == kMsgCancel) {
    if (!ut_is_all(t.data(), ' ', t.size())) tmp_scr(b, t.data(), t.size());
    if (PdStatus* st = status(p)) st->option = 278;
    ut_unwind(4);
  }
  if (p->invoc.auto_mode != 0) return ii_adv(pc, 16);
  if (kind != kMsgMessage && p->invoc.type == 2 && phase(p) == 3) return ii_adv(pc, 16);
  if (kind == kMsgError || kind == kMsgWarning) {
    if (WmShow* show = p->show.get()) show->flags = uint8_t(show->flags | wmshow::kAlert);
    PdStatus* st = status(p);
    if (kind == kMsgError) {
      if (st) st->errors = st->errors + 1;
      ++b->errors;
      t = std::string(com.error_label.data(), std::min<size_t>(com.error_len, 10)) + " - " + t;
    } else {
      if (st) st->warnings = st->warnings + 1;
      ++b->warnings;
      t = std::string(com.warning_label.data(), std::min<size_t>(com.warning_len, 10)) + " - " + t;
    }
  }
  if (!write_msg(p->msg_file.get(), uint16_t(kind), t))
    checkstat(p->msg_file ? p->msg_file->status.get() : 0u, "ii_exec() no message write", kMod, __LINE__);
  return ii_adv(pc, 16);
}
uint8_t* inst_msg_tmp(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return message(b, s, pc, s->addr[0]); }
uint8_t* inst_msg_cnst(IlfExecBlock* b, IlfState* s, uint8_t* pc) { return message(b, s, pc, ii_ref(pc + 4)); }

uint8_t* inst_refresh(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  Pcb* p = b->pcb;
  auto& in = rec::view<IbMsg>(pc);
  if (p->invoc.auto_mode != 0) return ii_adv(pc, 16);
  WmRegRec* rr = nullptr;
  uint8_t state = 0;
  if (p->invoc.type == 2) {
    uint32_t reg = region(p, 0);
    rr = reg ? reinterpret_cast<WmRegRec*>(arena::at(reg)) : nullptr;
    if (rr) state = rr->state;
  }
  FmArb* mf = nullptr;
  if (in.len != 0) {
    const uint8_t* text = in.kind == 1 ? ii_ref(pc + 4) : s->addr[0];
    std::string t = msg_text(p, s, text, in.len);
    mf = la_create_fi(79, com.depth);
    if (!mf || !write_msg(mf, 0, t))
      checkstat(mf ? mf->status.get() : 0u, "ii_exec() no message write", kMod, __LINE__);
  }
  WmShow* show = p->show.get();
  uint32_t req = p->run.curs_req;
  if (show) {
    uint8_t flags = show->flags, sreq = show->curs_req;
    show->flags = wmshow::kDraw;
    show->curs_req = 0;
    p->run.curs_req = 0;
    wm_show(show, mf ? arena::offset_of(mf) : 0);
    show->flags = flags;
    show->curs_req = sreq;
  }
  if (mf) FM_CLOSE(mf, 0);
  if (rr) rr->state = state;
  p->run.curs_req = req;
  return ii_adv(pc, 16);
}
uint8_t* rloc_refresh(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  auto& in = rec::view<IbMsg>(pc);
  if (in.kind == 1 && in.len != 0 && !CNST_RLOC(s->module ? s->module->cnst.get() : nullptr, pc + 4)) {
    sys_err(__LINE__, "ii_rloc() - bad operand of RLOC_REFRESH");
    ii_end_ep(b, s);
    return ii_stop(s);
  }
  rec::view<IbInst>(pc).op = uint16_t(kIbRefresh + 1);
  return inst_refresh(b, s, pc);
}

}  // namespace

IiDynItem* ii_dyn_first(Pcb* pcb) { return pcb ? dyn_first(pcb) : nullptr; }

void undef_itm(Pcb* p, IiDynItem* d) {
  IiDynItem* prev = d->prev.get();
  IiDynItem* next = d->next.get();
  if (prev) prev->next.set(next);
  else p->run.dyn_first.set(reinterpret_cast<uint8_t*>(next));
  if (next) next->prev.set(prev);
  else p->run.dyn_last.set(reinterpret_cast<uint8_t*>(prev));
  if (uint32_t reg = region(p, 0)) {
    wm_remove_itm(reg, &d->citm.wm, d->mask | 0x3040u, 0);
    // The whole rectangle the DEFINE laid its attributes on, not only the
    // cells its value showed in, goes back to plain.
    WmChr ch;
    CHR_PREP(&ch);
    ch.row = d->citm.wm.row.get();
    ch.col = d->citm.wm.col.get();
    ch.rows = d->citm.last_row - d->citm.wm.row + 1;
    ch.cols = d->citm.last_col - d->citm.wm.col + 1;
    ch.attr = 0;
    wm_upd_chr(reg, &ch, d->chr_select | d->mask | 0x3040u);
  }
  if (char* t = d->citm.wm.text.get()) mm_free(t);
  mm_free(d);
}

void ii_img_undef_all(Pcb* p) {
  for (IiDynItem* d = dyn_first(p); d;) {
    IiDynItem* next = d->next.get();
    undef_itm(p, d);
    d = next;
  }
}

void ii_img_init() {
  ib_img_define_ops();
  ii_set_pair(600, inst_at_field_0);
  ii_set_pair(602, inst_at_field_1);
  ii_set_pair(604, inst_at_field_2);
  ii_set_pair(606, inst_at_field_3);
  ii_set_pair(608, inst_at_field_4);
  ii_set_pair(610, inst_position_0);
  ii_set_pair(646, inst_position_2);
  ii_set_pair(648, inst_position_3);
  ii_set_pair(612, inst_position_4);
  ii_set_pair(614, inst_chr_var);
  ii_set_pair(616, inst_chr_all);
  ii_set_pair(618, inst_chr_def);
  ii_set_pair(620, inst_dspl_var);
  ii_set_pair(622, inst_dspl_all);
  ii_set_pair(624, inst_dspl_def);
  for (uint16_t op = kIbLdReg1; op <= kIbLdReg1 + 6; op = uint16_t(op + 2)) ii_set_pair(op, inst_ld_reg);
  ii_set_pair(kIbDefAddApp, inst_def_add_app);
  ii_set_pair(kIbDefDetach, inst_def_detach);
  ii_set_op(kIbDefine, rloc_def_attach);
  ii_set_op(kIbDefine + 1, inst_def_attach);
  ii_set_pair(kIbUndef, inst_undef);
  ii_set_pair(kIbMsgTmp, inst_msg_tmp);
  ii_set_pair(kIbMsgCnst, inst_msg_cnst);
  ii_set_op(kIbRefresh, rloc_refresh);
  ii_set_op(kIbRefresh + 1, inst_refresh);
  ii_set_undef_hook(ii_img_undef_all);
}
