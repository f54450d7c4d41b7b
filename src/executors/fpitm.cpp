// Field display, editing and look-ups within one image pass of the frame
// processor. See fpitm.h.
//
// Items are the PCB's item table (1 .. the module's item count), each
// pointing at its compiled item; an image owns the items first_item ..
// last_item of its compiled image. A compiled item is made live here (its
// value the field's address through the area slot the loader gave it, its
// display text a buffer of its own) before the window manager sees it.
//
// Decisions:
//   1. The display kind of an item is its use (0 counts as 1): 1 shows the
//      field's value, 2 and 3 are automatic-display items (shown from their
//      look-up record), 4 a summary; kinds 1 and 4 are displayed by
//      dspl_itm.
//   2. An item has its own protection when its compiled attribute mask
//      gives the input bit (ITEM input '0' or '1'); otherwise it takes the
//      input bits 3 unless OPERATIONAL PHASE is 2.
//   3. The security codes checked are the display and input codes (the
//      item's second and third code, as the interpreter's verbs read them).
//   4. The start positions of an image by entry level 0-9 are the ten
//      (row, column) pairs of its compiled bytes 64-143; a position of 32767,
//      or one outside the image, is none.
//   5. The entry-optional flag is the compiled item's flag (ITEM byte 57).
//   6. Look-up state is kept in the loaded module's look-up record: byte 2
//      the read state (0 not read, 1 read needed, 2 reset, 3 current), byte
//      3 whether the last read found the record.
//   7. Every key part of a look-up is compared with the key buffer, not
//      only the first: a changed second part is read again.
//   8. A look-up whose key did not change after a failed read fails again
//      (with its message, without reading): an unchanged bad code never
//      passes on the second ENTER.
//   9. '@' accepts the same letters as '&' (a-z, A-Z, 192-221, 224-253).
//  10. Edited texts are converted into the fields' values by strong_edit
//      once an item passes its checks; a failed conversion is the item's
//      error with the conversion's message.
//  11. Justification rule 0 refuses a blank within the value (before its
//      last character), not the trailing blanks of a value shorter than
//      its field: a short entry is no missing entry.
#include "executors/fpitm.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files/fm.h"
#include "files/lafi.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "language/ii.h"
#include "language/iiimg.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pipcf.h"
#include "process/pishr.h"
#include "screen/wm.h"

namespace {

constexpr const char* kMod = "FP";
constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kErrVerify = 300000, kErrSign = 300010, kErrJustify = 300020, kErrFill = 300030,
                   kErrAlpha = 300040, kErrDigits = 300050, kErrRequired = 300070, kErrMask = 300080,
                   kErrLookupNone = 300630, kErrLookupNotFound = 300210;
constexpr int kMenu = 1, kInput = 2, kOutput = 3, kInquiry = 9;
constexpr uint32_t kNoPos = 32767;

void sys_err(int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(ut_dbg, sizeof ut_dbg, fmt, ap);
  va_end(ap);
  os_sys_err(kMod, line);
}

MmPool pool() { return mm_create_pool(" FPITMPOOL ", com.base_scope, 0); }

EmHeader* module(Pcb* p) { return p ? p->module.get() : nullptr; }

PcbItemEnt* ient(Pcb* p, int n) {
  EmHeader* em = module(p);
  PcbItemEnt* t = p ? p->item_tbl.get() : nullptr;
  if (!em || !t || n < 1 || n > int(em->n_items)) return nullptr;
  return &t[n];
}
EmCitm* citm(Pcb* p, int n) {
  PcbItemEnt* e = ient(p, n);
  return e ? e->citm.get() : nullptr;
}
PcbImageEnt* iment(Pcb* p, int image) {
  EmHeader* em = module(p);
  PcbImageEnt* t = p ? p->image_tbl.get() : nullptr;
  if (!em || !t || image < 1 || image > int(em->n_images)) return nullptr;
  return &t[image];
}
EmCimg* cimg(Pcb* p, int image) {
  PcbImageEnt* e = iment(p, image);
  return e ? e->cimg.get() : nullptr;
}
// The items of an image: [first, last], empty when none.
void image_items(Pcb* p, int image, int* first, int* last) {
  *first = 1;
  *last = 0;
  EmCimg* im = cimg(p, image);
  EmHeader* em = module(p);
  if (!im || !em || !im->first_item) return;
  *first = im->first_item;
  *last = std::min<int>(im->last_item, em->n_items);
}

PdArea3* pdf2(Pcb* p) { return pi_area_rec<PdArea3>(p, 3); }
PdArea11* pdf6(Pcb* p) { return pi_area_rec<PdArea11>(p, 11); }
int entry_level(Pcb* p) {
  PdArea11* a = pdf6(p);
  return a ? int(a->entry_level) : 0;
}
int phase(Pcb* p) {
  PdArea11* a = pdf6(p);
  return a ? int(a->phase) : 0;
}
int op_phase(Pcb* p) {
  PdArea3* a = pdf2(p);
  return a ? int(a->op_phase) : 0;
}
int ptype(Pcb* p) { return p->invoc.type; }

CvItem& cv_of(EmCitm* c) { return *reinterpret_cast<CvItem*>(reinterpret_cast<uint8_t*>(&c->wm) + 12); }

bool is_numeric(int t) { return t == 5 || t == 8 || t == 12; }
bool is_alpha(int t) { return t == 1 || t == 2 || t == 13; }
bool has_mask(const EmCitm* c) { return !c->wm.mask.blank() && !ut_is_all(c->wm.mask.data(), 0, 60); }

// Whether the user may see and enter the field: both its display and its
// input security codes pass.
bool secure(Pcb* p, const EmCitm* c) {
  for (int i = 1; i <= 2; ++i) {
    uint32_t code = c->secr[i];
    if (code != kNone && !pi_chk_secr(int32_t(code), p)) return false;
  }
  return true;
}

size_t text_size(const EmCitm* c) {
  size_t rows = std::max<int32_t>(1, c->wm.rows.get());
  size_t len = std::max<size_t>(c->wm.text_len.get(), size_t(std::max<int32_t>(0, c->wm.cols.get())));
  return std::max<size_t>(1, rows * len);
}

// Makes the item live: its value the field's address (through the area
// slot the loader made of its index), its display text a buffer of its own.
void make_live(Pcb* p, EmCitm* c) {
  if (c->wm.ira_sub) {
    auto* slot = static_cast<Ref<uint8_t>*>(arena::at(c->wm.ira_sub.get()));
    c->wm.value.set(slot ? slot->get() : nullptr);
  }
  if (!c->wm.text) {
    size_t n = text_size(c);
    EmHeader* em = module(p);
    auto* t = static_cast<char*>(MM_ALLOC(em && em->pool ? em->pool : pool(), n + 1));
    std::memset(t, ' ', n + 1);
    c->wm.text.set(t);
  }
}

// The item's empty value (its null value, placed by the loader), or null.
const uint8_t* empty_value(const EmCitm* c) {
  uint32_t r = c->wm.reference;
  if (!r || !c->wm.source) return nullptr;
  return static_cast<const uint8_t*>(arena::at(r));
}

// Converts the item's value into its text as the window manager does.
void to_text(WmItem* w) {
  auto* it = reinterpret_cast<CvItem*>(reinterpret_cast<uint8_t*>(w) + 12);
  if (!it->int_addr || !it->ext_addr) return;
  uint32_t rows = it->rows, cols = it->cols;
  uint16_t ext = it->ext_len, edit = it->edit_len;
  CvBlock b;
  int ok = cv_cmpl(&b, it, nullptr, 0);
  it->rows = rows;
  it->cols = cols;
  it->ext_len = ext;
  it->edit_len = edit;
  if (ok) cv_itoe(&b);
}

// A scratch buffer in the arena (conversions need arena addresses); it
// lives as long as the arena.
char* scratch(size_t n) {
  static char* buf = nullptr;
  static size_t size = 0;
  if (n > size) {
    if (buf) arena::free_chunk(buf, size);
    size = std::max<size_t>(n, 4096);
    buf = static_cast<char*>(arena::alloc_chunk(size));
  }
  return buf;
}

// The text the item shows for its empty value: blanks without one.
std::string empty_text(EmCitm* c) {
  size_t n = c->wm.text_len;
  const uint8_t* ev = empty_value(c);
  if (!ev) return std::string(n, ' ');
  WmItem w = c->wm;
  char* t = scratch(text_size(c) + 1);
  std::memset(t, ' ', text_size(c) + 1);
  w.value.set(const_cast<uint8_t*>(ev));
  w.text.set(t);
  to_text(&w);
  return std::string(t, n);
}

uint32_t region_of(Pcb* p, int image) {
  PcbImageEnt* e = iment(p, image);
  return e ? e->region.get() : 0u;
}

// Sends the item to the window manager; convert: its text from its value.
bool send_item(Pcb* p, int image, EmCitm* c, uint32_t value, uint32_t select, bool convert) {
  uint32_t reg = region_of(p, image);
  if (!reg) return true;
  c->wm.needs_cnv = convert ? 1 : 0;
  c->wm.upd = wmupd::kAsk;
  int ok = wm_upd_itm(reg, &c->wm, value, select, 0);
  if (c->wm.upd == wmupd::kLater) p->run.redisplay = 1;
  return ok != 0;
}

// Compiles the item's conversion for a check of what was typed; the item's
// geometry stays as the screen laid it out.
int cmpl_kept(CvBlock* b, CvItem& cv) {
  uint32_t rows = cv.rows, cols = cv.cols;
  uint16_t ext = cv.ext_len, edit = cv.edit_len;
  int done = cv_cmpl(b, &cv, nullptr, 0);
  cv.rows = rows;
  cv.cols = cols;
  cv.ext_len = ext;
  cv.edit_len = edit;
  return done;
}

// Whether the messages to be shown next (the current file and the one the
// last pass left) hold the message with its argument: a failed look-up run
// again before the screen shows reports once.
bool queued(Pcb* p, uint32_t msg, const std::string& arg) {
  int sev = 0;
  auto trim = [](std::string t) {
    while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
    return t;
  };
  std::string text = trim(la_substitute(la_labelled(msg, &sev), {arg}));
  for (FmArb* f : {p->msg_file.get(), p->prev_msg[0].get()})
    for (const LaQueued& m : la_queue_read(f)) {
      std::string have = trim(m.text);
      if (!have.empty() && text.compare(0, have.size(), have) == 0) return true;
    }
  return false;
}

// The field errors of an edit pass, while it runs: the pass checks the
// items from the last to the first, but their messages are queued after it
// from the first to the last, so that the message shown first is the one
// of the field the cursor goes to (the first that failed).
struct FieldErrs;
FieldErrs* g_field_errs = nullptr;

struct FieldErrs {
  struct Err {
    int item;
    uint32_t msg;
    std::string arg;  // the message's %1, or empty
  };
  int item = 0;           // the item being checked
  std::vector<Err> errs;  // in the order found
  FieldErrs* outer = g_field_errs;
  FieldErrs() { g_field_errs = this; }
  ~FieldErrs() { g_field_errs = outer; }
  FieldErrs(const FieldErrs&) = delete;
  FieldErrs& operator=(const FieldErrs&) = delete;
  // Queues the messages, the first item's first.
  void queue(Pcb* p);
};

void add_msg(Pcb* p, uint32_t msg, const char* arg = nullptr) {
  FmArb* f = p->msg_file.get();
  if (!f) return;
  if (g_field_errs && !arg) {
    g_field_errs->errs.push_back({g_field_errs->item, msg, ""});
    return;
  }
  if (arg && *arg) {
    std::string s(arg);
    LaText t{uint16_t(s.size()), s.data()};
    la_add_msg(4, f, msg, 0u, &t);
  } else {
    la_add_msg(3, f, msg, 0u);
  }
}

void FieldErrs::queue(Pcb* p) {
  g_field_errs = nullptr;  // straight into this process's file
  std::stable_sort(errs.begin(), errs.end(), [](const Err& a, const Err& b) { return a.item < b.item; });
  for (const Err& e : errs) add_msg(p, e.msg, e.arg.empty() ? nullptr : e.arg.c_str());
  errs.clear();
  g_field_errs = this;
}

// The characteristics of an item (stored records of the module's CCHR,
// key 1: image sequence, the item's row and column); fn(chr).
template <class F>
bool each_chr(Pcb* p, const EmCitm* c, F fn) {
  EmHeader* em = module(p);
  FmArb* f = em ? em->cchr.get() : nullptr;
  if (!f || !fm_is_handle(f)) return false;
  FmArb* s = FM_ATTACH(f, nullptr, com.depth);
  if (!s) {
    sys_err(__LINE__, "can't find cchr");
    return false;
  }
  static uint8_t* k = static_cast<uint8_t*>(arena::alloc_chunk(16));
  rec::view<rec::U32>(k) = c->wm.handle.get();
  rec::view<rec::I32>(k + 4) = c->wm.row.get();
  rec::view<rec::I32>(k + 8) = c->wm.col.get();
  s->key_no = 1;
  s->key.set(k);
  s->key_len = 12;
  s->op = FM_OP_AT | FM_OP_KEY;
  fm_start(s);
  s->key.reset();
  s->key_len = 0;
  s->op = FM_OP_FAST;
  bool any = false;
  while (uint8_t* r = fm_rdnxt_fast(s, 0)) {
    auto* ch = reinterpret_cast<WmChr*>(r);
    if (ch->handle != c->wm.handle || ch->item_row != c->wm.row || ch->item_col != c->wm.col) break;
    any = true;
    fn(ch);
  }
  s->op = 0;
  fm_detach(s);
  return any;
}

// Every characteristic of an image (CCHR key 0: image sequence first).
std::vector<WmChr> image_chrs(Pcb* p, uint32_t seq) {
  std::vector<WmChr> out;
  EmHeader* em = module(p);
  FmArb* f = em ? em->cchr.get() : nullptr;
  if (!f || !fm_is_handle(f)) return out;
  FmArb* s = FM_ATTACH(f, nullptr, com.depth);
  if (!s) {
    sys_err(__LINE__, "can't find cchr");
    return out;
  }
  static uint8_t* k = static_cast<uint8_t*>(arena::alloc_chunk(16));
  rec::view<rec::U32>(k) = seq;
  s->key_no = 0;
  s->key.set(k);
  s->key_len = 4;
  s->op = FM_OP_AT | FM_OP_KEY;
  fm_start(s);
  s->key.reset();
  s->key_len = 0;
  s->op = FM_OP_FAST;
  while (uint8_t* r = fm_rdnxt_fast(s, 0)) {
    auto* ch = reinterpret_cast<WmChr*>(r);
    if (ch->handle != seq) break;
    out.push_back(*ch);
  }
  s->op = 0;
  fm_detach(s);
  return out;
}

// The compiled look-up's run state (decision 6).
uint8_t& lk_state(EmCdlu* d) { return d->b2[0]; }
uint8_t& lk_found(EmCdlu* d) { return d->b2[1]; }

// The control area of a look-up's file, or null.
PiFileCtl* lk_ctl(EmCdlu* d) {
  if (!d->ctl_ira) return nullptr;
  auto* slot = static_cast<Ref<uint8_t>*>(arena::at(d->ctl_ira.get()));
  return slot ? reinterpret_cast<PiFileCtl*>(slot->get()) : nullptr;
}
uint8_t* lk_record(EmCdlu* d) {
  if (!d->area) return nullptr;
  auto* slot = static_cast<Ref<uint8_t>*>(arena::at(d->area.get()));
  return slot ? slot->get() : nullptr;
}
// Where an item's key part sits in the look-up's key buffer.
uint8_t* lk_key_part(const EmCitm* c) {
  if (!c->lk_ira) return nullptr;
  auto* slot = static_cast<Ref<uint8_t>*>(arena::at(c->lk_ira.get()));
  return slot ? slot->get() : nullptr;
}
// The look-up file's name for messages: its description, "Record" when blank.
std::string lk_file_name(EmCdlu* d) {
  PiFileCtl* ctl = lk_ctl(d);
  EmCfi* cfi = ctl ? ctl->cfi.get() : nullptr;
  std::string s = cfi ? std::string(cfi->desc.data(), 30) : std::string();
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s.empty() ? std::string("Record") : s;
}

bool output_frame(Pcb* p) {
  int t = ptype(p);
  if (t == kOutput) return true;
  if (t != kInquiry) return false;
  EmHeader* em = module(p);
  PcbFrameEnt* ft = p->frame_tbl.get();
  uint32_t f = p->run.frame;
  EmCfrm* fr = em && ft && f && f <= em->n_frames ? ft[f].cfrm.get() : nullptr;
  return !fr || fr->code != 14;
}

int disp_kind(const EmCitm* c) { return c->use ? int(c->use) : 1; }

// The error attribute on a failing item, and the cursor to it (the lowest
// failing item wins: callers walk from the last item to the first).
void mark_error(Pcb* p, int image, int n, EmCitm* c) {
  send_item(p, image, c, wa::kBlink, wa::kBlink, false);
  set_curs_pos(kCursField, c->wm.row, c->wm.col, p);
  fp_set_cur_item(p, n);
}

}  // namespace

// ------------------------------------------------------------- items --
bool upd_chr(Pcb* pcb, int item, uint32_t attrs, bool protect) {
  EmCitm* c = citm(pcb, item);
  PcbItemEnt* e = ient(pcb, item);
  if (!c || !e) {
    sys_err(__LINE__, "upd_chr() - can't find cchr");
    return false;
  }
  if (!(c->attr_mask & wa::kInput)) {
    if (op_phase(pcb) == 2) protect = true;
    else attrs |= wa::kInput | wa::kInput2;
  } else {
    attrs |= c->attr & (wa::kInput | wa::kInput2);
  }
  if (phase(pcb) != 6 && !secure(pcb, c)) protect = true;
  if (protect) attrs &= ~(wa::kInput | wa::kInput2);
  return prep_chr(pcb, item, attrs);
}

bool prep_chr(Pcb* pcb, int item, uint32_t attrs) {
  EmCitm* c = citm(pcb, item);
  PcbItemEnt* e = ient(pcb, item);
  if (!c || !e) {
    sys_err(__LINE__, "can't find cchr");
    return false;
  }
  const bool input = (attrs & (wa::kInput | wa::kInput2)) == (wa::kInput | wa::kInput2);
  // Only an item with both input bits takes input: the window manager lets
  // the user type into any cell holding the first bit, so an item without
  // input (ITEM input '0' gives the first bit alone) leaves its cells
  // without either.
  uint32_t add = input ? attrs | (c->attr_mask & wa::kInputExtra) : attrs & ~(wa::kInput | wa::kInput2);
  e->input = input ? 1 : 0;
  c->wm.input = input ? 1 : 0;
  bool target = false;
  bool any = each_chr(pcb, c, [&](WmChr* ch) {
    ch->attr = (ch->attr & ~0x1011u) | add;
    if ((ch->attr & (wa::kTarget1 | wa::kTarget2)) == (wa::kTarget1 | wa::kTarget2)) target = true;
  });
  if (!any) target = (add & (wa::kTarget1 | wa::kTarget2)) == (wa::kTarget1 | wa::kTarget2);
  return target;
}

void prep_itm(Pcb* pcb, int image) {
  int first, last;
  image_items(pcb, image, &first, &last);
  const int type = ptype(pcb), lvl = entry_level(pcb), ph = phase(pcb);
  for (int n = last; n >= first; --n) {
    EmCitm* c = citm(pcb, n);
    PcbItemEnt* e = ient(pcb, n);
    if (!c || !e) continue;
    make_live(pcb, c);
    uint32_t attrs = 0;
    bool protect = false, hidden = false;
    const bool own_input = (c->attr & wa::kInput) != 0;
    if (type == kMenu) {
      if (lvl != 0 && c->disp > lvl) hidden = true;
      else if (c->disp && !(lvl != 0 && own_input)) protect = true;
    } else if (type == kInput && ph == 1) {
      if (c->disp > lvl) hidden = protect = true;
      else protect = cns_seg(pcb, n);
    } else if (type == kInput && ph == 6) {
      if (c->pcf_key) protect = cns_seg(pcb, n);
      else if (c->disp) hidden = protect = true;
      else protect = true;
    } else {
      protect = !own_input && (c->attr_mask & wa::kInput);
      if (ph == 7 && !protect) protect = cns_seg(pcb, n);
    }
    if (hidden) attrs |= wa::kHidden;
    upd_chr(pcb, n, attrs, protect);
    int kind = disp_kind(c);
    e->source = kind == 1 ? 1 : 2;
    e->pending = !hidden && (kind == 1 || kind == 4) ? 1 : 0;
  }
}

void upd_scr(Pcb* pcb, uint32_t region, bool reattached) {
  EmCimg* im = nullptr;
  int image = int(pcb->run.image);
  im = cimg(pcb, image);
  if (!im || !region) return;
  int first, last;
  image_items(pcb, image, &first, &last);
  if (!reattached) {
    std::vector<WmItem> items;
    for (int n = first; n <= last; ++n)
      if (EmCitm* c = citm(pcb, n)) {
        make_live(pcb, c);
        c->wm.needs_cnv = 1;
        items.push_back(c->wm);
      }
    const char* text = im->text.get();
    size_t len = size_t(std::max(0, im->rows.get())) * size_t(std::max(0, im->cols.get()));
    std::vector<WmChr> chrs = image_chrs(pcb, im->seq);
    if (!wm_write_reg(region, text ? std::string_view(text, len) : std::string_view(), items, chrs))
      sys_err(__LINE__, "upd_scr() - wm_write_reg failed");
  }
  int target = 0, typed = 0;
  for (int n = last; n >= first; --n) {
    EmCitm* c = citm(pcb, n);
    PcbItemEnt* e = ient(pcb, n);
    if (!c || !e) continue;
    if (e->input) typed = n;
    if (reattached) send_item(pcb, image, c, 0, 0, true);
    each_chr(pcb, c, [&](WmChr* ch) {
      wm_upd_chr(region, ch, e->sig);
      if ((ch->attr & (wa::kTarget1 | wa::kTarget2)) == (wa::kTarget1 | wa::kTarget2)) target = n;
    });
  }
  if (pcb->run.curs_req) return;
  if (last < first) {
    // No items of its own: the first item defined at run time that takes
    // the cursor.
    for (IiDynItem* d = ii_dyn_first(pcb); d; d = d->next.get())
      if (d->mask & 4u) {
        set_curs_pos(kCursField, d->citm.wm.row, d->citm.wm.col, pcb);
        return;
      }
    return;
  }
  int lvl = 0;
  if (ptype(pcb) == kMenu) lvl = entry_level(pcb);
  else if (ptype(pcb) == kInput) {
    int ph = phase(pcb);
    lvl = ph == 1 ? entry_level(pcb) : ph == 7 ? 9 : 0;
  }
  lvl = std::clamp(lvl, 0, 9);
  const uint8_t* starts = reinterpret_cast<const uint8_t*>(im->b104.data());
  uint32_t row = rec::view<rec::U32>(starts + 8 * lvl).get(), col = rec::view<rec::U32>(starts + 8 * lvl + 4).get();
  bool valid = row != kNoPos && col != kNoPos && row >= 1 && col >= 1 && row <= uint32_t(std::max(0, im->rows.get())) &&
               col <= uint32_t(std::max(0, im->cols.get()));
  if (valid) set_curs_pos(kCursField, int(row), int(col), pcb);
  else if (EmCitm* c = target ? citm(pcb, target) : nullptr) set_curs_pos(kCursField, c->wm.row, c->wm.col, pcb);
  // Without a start position or target: the first field that takes input
  // (not on a menu, where what is typed off the fields is the option).
  else if (EmCitm* t = typed && ptype(pcb) != kMenu ? citm(pcb, typed) : nullptr)
    set_curs_pos(kCursField, t->wm.row, t->wm.col, pcb);
  else set_curs_pos(kCursRowCol, std::max(1, pcb->run.curs_row.get()), std::max(1, pcb->run.curs_col.get()), pcb);
}

void reset_itm_sig(Pcb* pcb, int image) {
  int first, last;
  image_items(pcb, image, &first, &last);
  for (int n = first; n <= last; ++n)
    if (PcbItemEnt* e = ient(pcb, n)) e->sig = kNone;
}

void dspl_itm(Pcb* pcb, int image) {
  int first, last;
  image_items(pcb, image, &first, &last);
  for (int n = first; n <= last; ++n) {
    EmCitm* c = citm(pcb, n);
    PcbItemEnt* e = ient(pcb, n);
    if (!c || !e || !e->pending) continue;
    make_live(pcb, c);
    bool ok;
    if (!secure(pcb, c)) {
      uint8_t mode = c->wm.dspl_mode;
      c->wm.dspl_mode = 2;
      std::memset(c->wm.text.get(), ' ', c->wm.text_len);
      ok = send_item(pcb, image, c, wa::kHidden, wa::kHidden, false);
      c->wm.dspl_mode = mode;
    } else if (e->source == 2) {
      std::string t = empty_text(c);
      std::memcpy(c->wm.text.get(), t.data(), t.size());
      ok = send_item(pcb, image, c, 0, 0, false);
    } else {
      ok = send_item(pcb, image, c, 0, 0, true);
    }
    if (!ok) sys_err(__LINE__, "dspl_itm() - wm_upd_itm failed");
    e->shown = 1;
  }
}

// ------------------------------------------------------------ editing --
bool strong_edit(Pcb* pcb) {
  int image = int(pcb->run.image);
  int first, last;
  image_items(pcb, image, &first, &last);
  const int lvl = entry_level(pcb);
  bool all = true;
  FieldErrs fe;
  for (int n = last; n >= first; --n) {
    fe.item = n;
    EmCitm* c = citm(pcb, n);
    PcbItemEnt* e = ient(pcb, n);
    if (!c || !e || !e->input || c->disp > lvl || !c->wm.text) continue;
    uint32_t err = 0;
    bool checked = true;
    const int type = c->wm.data_type;
    if (!is_numeric(type) || has_mask(c)) {
      std::string shown(c->wm.text.get(), c->wm.text_len);
      if (shown == empty_text(c)) {
        if (!c->flag) err = kErrRequired;
        checked = false;
      }
    }
    if (checked && c->range_ep != 0xFFFFu && c->range_ep != kNone) {
      IlfExecBlock b;
      II_EXEC_MISC(pcb, 0, &b, c->range_ep);
      for (int k = 0; k < 10; k += 2)
        if (((b.result_mask >> k) & 3u) == 2u) err = kErrVerify;
    }
    bool ok = err == 0;
    if (ok && checked && is_alpha(type)) ok = edit_alp(pcb, n);
    if (ok && !checked && c->wm.value) {
      // Left empty: the field takes its empty value.
      if (const uint8_t* ev = empty_value(c)) std::memmove(c->wm.value.get(), ev, c->wm.length);
    }
    if (ok && checked && c->wm.value) {
      CvItem& cv = cv_of(c);
      CvBlock b;
      int done = cmpl_kept(&b, cv);
      if (done && !cv_etoi(&b)) err = b.msg ? uint32_t(b.msg) : kErrMask;
      ok = err == 0;
    }
    if (err) add_msg(pcb, err);
    if (!ok) {
      all = false;
      mark_error(pcb, image, n, c);
    } else {
      send_item(pcb, image, c, 0, wa::kBlink, checked);
    }
  }
  fe.queue(pcb);
  return all;
}

bool key_edit(Pcb* pcb) {
  int image = int(pcb->run.image);
  int first, last;
  image_items(pcb, image, &first, &last);
  bool all = true;
  FieldErrs fe;
  for (int n = last; n >= first; --n) {
    fe.item = n;
    EmCitm* c = citm(pcb, n);
    PcbItemEnt* e = ient(pcb, n);
    if (!c || !e || !e->input || !c->pcf_key || !c->wm.text || !c->wm.value) continue;
    std::string shown(c->wm.text.get(), c->wm.text_len);
    if (shown == empty_text(c)) {
      if (const uint8_t* ev = empty_value(c)) std::memmove(c->wm.value.get(), ev, c->wm.length);
      continue;
    }
    CvItem& cv = cv_of(c);
    CvBlock b;
    int done = cmpl_kept(&b, cv);
    if (!done || cv_etoi(&b)) continue;
    add_msg(pcb, b.msg ? uint32_t(b.msg) : kErrMask);
    all = false;
    mark_error(pcb, image, n, c);
  }
  fe.queue(pcb);
  return all;
}

namespace {
bool letter(uint8_t ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= 192 && ch <= 221) || (ch >= 224 && ch <= 253);
}
bool digit(uint8_t ch) { return ch >= '0' && ch <= '9'; }
}  // namespace

bool edit_alp(Pcb* pcb, int item) {
  EmCitm* c = citm(pcb, item);
  if (!c || !c->wm.text) return true;
  CvItem& cv = cv_of(c);
  auto* text = reinterpret_cast<uint8_t*>(c->wm.text.get());
  const int len = c->wm.text_len;
  const uint8_t* prev = c->wm.value.get();
  const int prev_len = c->wm.length;
  // 1. First and last place of each character class.
  int first[6], last[6];
  std::fill(first, first + 6, -1);
  std::fill(last, last + 6, -1);
  for (int i = 0; i < len; ++i) {
    int k = com.char_class[text[i]];
    if (k > kChrReserved) k = kChrOther;
    if (first[k] < 0) first[k] = i;
    last[k] = i;
  }
  const int rule = cv.justify;
  auto fail = [&](uint32_t msg, const char* arg = nullptr) {
    // A field error with its %1 keeps its place among the pass's errors.
    if (arg && g_field_errs) g_field_errs->errs.push_back({g_field_errs->item, msg, arg});
    else add_msg(pcb, msg, arg);
    return false;
  };
  // 2. Blanks by the justification rule.
  if (first[kChrBlank] >= 0) {
    int last_char = -1;
    for (int k = kChrPrint; k <= kChrReserved; ++k) last_char = std::max(last_char, last[k]);
    if (rule == 1 && first[kChrBlank] < last_char) return fail(kErrJustify);
    // The message of an empty entry, saying what is wrong with this one.
    if (rule == 0 && first[kChrBlank] < last_char) return fail(kErrRequired, ", without blanks inside");
  }
  // 3. The alpha kind.
  const bool sign = cv.sign == '1';
  switch (c->elem580[1]) {
    case 0: case 3: break;
    case 1: case 4:
      if (first[kChrPrint] >= 0 || first[kChrFill] >= 0 || first[kChrReserved] >= 0) return fail(kErrDigits);
      break;
    case 2: case 6:
      if (sign && first[kChrReserved] >= 0) return fail(kErrSign);
      if (first[kChrFill] >= 0) return fail(kErrFill);
      break;
    case 5:
      if (sign && first[kChrReserved] >= 0) return fail(kErrSign);
      if (first[kChrDigit] >= 0 || first[kChrFill] >= 0) return fail(kErrAlpha);
      break;
    default:
      sys_err(__LINE__, "fp, edit_alp entered default in switch");
      return false;
  }
  // 4. The edit mask.
  const char* mask = c->wm.mask.data();
  const int n = std::min(len, 60);
  bool refused = false;
  for (int i = 0; i < n && !refused; ++i) {
    uint8_t ch = text[i];
    bool ok;
    switch (mask[i]) {
      case ' ': case '!': ok = true; break;
      case '#': ok = digit(ch); break;
      case '&': ok = letter(ch) || digit(ch); break;
      case '@': ok = letter(ch); break;
      case '*': ok = i < prev_len && prev && ch == prev[i]; break;
      default:
        sys_err(__LINE__, "fp, edit_alp bad mask character %d", int(uint8_t(mask[i])));
        return false;
    }
    if (ok) continue;
    if (rule == 1) {
      bool rest_blank = true;
      for (int j = i; j < len; ++j)
        if (text[j] != ' ') rest_blank = false;
      if (rest_blank) break;
    }
    if (rule == 2 && ch == ' ') continue;
    refused = true;
  }
  if (!refused) return true;
  for (int i = 0; i < n; ++i)
    if (mask[i] == '*' && prev && i < prev_len) text[i] = char(prev[i]);
  return fail(kErrMask);
}

// ----------------------------------------------------------- look-ups --
EmCdlu* get_cdlu(Pcb* pcb, int number) {
  EmHeader* em = module(pcb);
  FmArb* f = em ? em->cdlu.get() : nullptr;
  uint8_t* r = nullptr;
  if (f && fm_is_handle(f) && number > 0 && number <= 65535) {
    static uint8_t* k = static_cast<uint8_t*>(arena::alloc_chunk(8));
    rec::view<rec::U16>(k) = uint16_t(number);
    f->key_no = 0;
    f->key.set(k);
    f->key_len = 2;
    r = fm_read_fast(f, FM_OP_KEY);
    f->op = 0;
    f->key.reset();
    f->key_len = 0;
  }
  if (!r) {
    sys_err(__LINE__, "bad get_cdlu");
    return nullptr;
  }
  return reinterpret_cast<EmCdlu*>(r);
}

int find_first_lookup(Pcb* pcb) {
  int first, last;
  image_items(pcb, int(pcb->run.image), &first, &last);
  for (int n = first; n <= last; ++n)
    if (EmCitm* c = citm(pcb, n); c && (c->lk_no || c->use == 2 || c->use == 3)) return n;
  return 0;
}

bool do_lookup(Pcb* pcb, int item) {
  EmCitm* c = citm(pcb, item);
  EmCdlu* d = c && c->lk_no ? get_cdlu(pcb, c->lk_no) : nullptr;
  if (!d) return true;
  uint8_t& state = lk_state(d);
  if (state == 2) {
    state = 0;
    return true;
  }
  const bool output = output_frame(pcb);
  const int image = int(pcb->run.image);
  bool found;
  if (state == 3) {
    if (lk_found(d)) return true;
    found = false;  // unchanged key after a failed read (decision 8)
  } else {
    found = pi_lookup_read(lk_ctl(d), d->key_no, lk_record(d), d->flag130 != 0) == 1;
    state = 3;
    lk_found(d) = found ? 1 : 0;
  }
  int first, last;
  image_items(pcb, image, &first, &last);
  if (found) {
    if (!output)
      for (int n = first; n <= last; ++n) {
        EmCitm* o = citm(pcb, n);
        if (!o) continue;
        if (o->lk_no == d->number) send_item(pcb, image, o, 0, wa::kBlink, true);
        else if ((o->use == 2 || o->use == 3) && o->lk_file_no == d->number) auto_dspl(pcb, n);
      }
    return true;
  }
  uint8_t action = d->b132;
  if (action >= '0' && action <= '9') action = uint8_t(action - '0');
  if (action == ' ') action = 0;
  switch (action) {
    case 0: return true;
    case 1:
    case 2: {
      const uint32_t msg = action == 1 ? kErrLookupNone : kErrLookupNotFound;
      const std::string name = lk_file_name(d);
      if (!queued(pcb, msg, name)) add_msg(pcb, msg, name.c_str());
      break;
    }
    default:
      sys_err(__LINE__, "fp, do_lookup entered default in switch");
      return false;
  }
  if (!output)
    for (int n = last; n >= first; --n) {
      EmCitm* o = citm(pcb, n);
      PcbItemEnt* e = ient(pcb, n);
      if (o && e && o->lk_no == d->number && e->input) mark_error(pcb, image, n, o);
    }
  return false;
}

void auto_dspl(Pcb* pcb, int item) {
  EmCitm* c = citm(pcb, item);
  if (!c) return;
  EmCdlu* d = c->lk_file_no ? get_cdlu(pcb, c->lk_file_no) : nullptr;
  if (!d) return;
  make_live(pcb, c);
  const int image = int(pcb->run.image);
  // Kind 2 shows the record as it stands; kind 3 only a record the look-up
  // found, else the empty value.
  bool from_record = c->use == 2 || (lk_state(d) == 3 && lk_found(d));
  Ref<uint8_t> keep = c->wm.value;
  uint8_t* rec = lk_record(d);
  if (rec && from_record) c->wm.value.set(rec + c->offset.get());
  bool ok;
  if (!secure(pcb, c)) {
    std::memset(c->wm.text.get(), ' ', c->wm.text_len);
    ok = send_item(pcb, image, c, wa::kHidden, wa::kHidden, false);
  } else if (!from_record) {
    std::string t = empty_text(c);
    std::memcpy(c->wm.text.get(), t.data(), t.size());
    ok = send_item(pcb, image, c, 0, 0, false);
  } else if (output_frame(pcb)) {
    to_text(&c->wm);
    ok = true;
  } else {
    ok = send_item(pcb, image, c, 0, 0, true);
  }
  c->wm.value = keep;
  if (!ok) sys_err(__LINE__, "dspl_itm() - wm_upd_itm failed");
  if (PcbItemEnt* e = ient(pcb, item)) e->shown = 1;
}

bool fp_dlu_exec(Pcb* pcb, bool first_pass, bool* ok) {
  const int image = int(pcb->run.image);
  EmCimg* im = cimg(pcb, image);
  if (!im) return false;
  int limit;
  const int ph = phase(pcb);
  if (output_frame(pcb)) limit = im->display;
  else if (ph == 1) limit = entry_level(pcb) - (first_pass ? 1 : 0);
  else if (ph == 6 && first_pass) return false;
  else limit = im->display;
  int start = find_first_lookup(pcb);
  if (!start) return false;
  int first, last;
  image_items(pcb, image, &first, &last);
  bool displayed = false;
  for (int n = start; n <= last; ++n) {
    EmCitm* c = citm(pcb, n);
    if (!c) continue;
    if ((c->use == 2 || c->use == 3) && c->lk_file_no) {
      EmCdlu* d = get_cdlu(pcb, c->lk_file_no);
      if (d && int(d->display) <= limit) {
        auto_dspl(pcb, n);
        displayed = true;
      }
      continue;
    }
    if (!c->lk_no || int(c->disp) > limit) continue;
    EmCdlu* d = get_cdlu(pcb, c->lk_no);
    uint8_t* part = lk_key_part(c);
    make_live(pcb, c);
    const uint8_t* v = c->wm.value.get();
    if (!d || !part || !v) continue;
    size_t len = c->wm.length;
    bool same = std::memcmp(part, v, len) == 0;
    if (n == int(d->first_item)) lk_state(d) = same ? 3 : 1;
    else if (!same && lk_state(d) != 2) lk_state(d) = 1;
    std::memcpy(part, v, len);
    if (c->lk_last && !do_lookup(pcb, n) && ok) *ok = false;
  }
  return displayed;
}

bool cns_seg(Pcb* pcb, int item) {
  EmCitm* c = citm(pcb, item);
  if (!c || !c->pcf_key) return false;
  const uint8_t* pos = pcb->invoc.cns_positions.get();
  uint32_t count = pcb->invoc.cns_count;
  if (!pos) return false;
  for (uint32_t i = 0; i < count && i < 64; ++i)
    if (rec::view<rec::U16>(pos + 6 * i + 2).get() == c->offset.get()) return true;
  return false;
}

// ------------------------------------------------------------ cursor --
void curs_to_itm_pos(Pcb* pcb, int image) {
  int first, last;
  image_items(pcb, image, &first, &last);
  const int row = pcb->run.curs_row, col = pcb->run.curs_col;
  for (int n = first; n <= last; ++n) {
    EmCitm* c = citm(pcb, n);
    if (c && row >= c->wm.row && row <= c->last_row && col >= c->wm.col && col <= c->last_col) {
      fp_set_cur_item(pcb, n);
      return;
    }
  }
  fp_set_cur_item(pcb, 0);
}

void set_curs_pos(int kind, int row, int col, Pcb* pcb) {
  switch (kind) {
    case kCursField: pcb->run.curs_req = wmshow::kReqField; break;
    case kCursSaved: pcb->run.curs_req = wmshow::kReqSaved; break;
    case kCursRowCol: pcb->run.curs_req = wmshow::kReqRowCol; break;
    default:
      sys_err(__LINE__, "set_curs_pos() - bad type %d", kind);
      return;
  }
  pcb->run.req_row = row;
  pcb->run.req_col = col;
}

int fp_cur_item(Pcb* pcb) { return pcb ? int(pcb->run.cur_item.get()) : 0; }
void fp_set_cur_item(Pcb* pcb, int item) {
  if (pcb) pcb->run.cur_item = uint32_t(std::max(0, item));
}

// ----------------------------------------------------------- messages --
bool chk_msg(FmArb* cur, FmArb* prev, int* top_type) {
  std::vector<LaQueued> now = la_queue_read(cur), before = la_queue_read(prev);
  bool fresh = false;
  int top = 0;
  for (const LaQueued& m : now) {
    top = std::max(top, int(m.severity));
    if (m.severity == 2 || m.severity == 3) {
      fresh = true;
      continue;
    }
    bool seen = false;
    for (const LaQueued& o : before)
      if (o.key == m.key && o.severity == m.severity && o.text == m.text) seen = true;
    if (!seen) fresh = true;
  }
  if (top_type) *top_type = top;
  return fresh;
}

bool new_msg(FmArb** cur, FmArb** prev, int* top_type) {
  bool fresh = chk_msg(*cur, *prev, top_type);
  if (*prev && fm_is_handle(*prev)) fm_del_all(*prev);
  std::swap(*cur, *prev);
  return fresh;
}
