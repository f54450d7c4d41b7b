// The standard work files of a report (STD, STDHSUB, STDTSUM), what fills
// them (the heading items of the detail images, the date of the page
// heading, subheadings and subtotals) and the range frames generated where
// a process asks for standard ones. See op.h.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "executors/fp.h"
#include "executors/op.h"
#include "executors/opstd.h"
#include "executors/rt.h"
#include "files/fm.h"
#include "foundation/cv.h"
#include "foundation/cvdat.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pb.h"
#include "process/pc.h"
#include "process/pcb.h"
#include "process/pigetd.h"
#include "process/piexec.h"
#include "process/pipcf.h"
#include "process/pishr.h"

namespace {

constexpr const char* kMod = "OP";
constexpr int kRngSubhead = 1, kRngSubtotal = 2;

Pcb* owner_of(Pcb* pcb) {
  Pcb* o = op_pcb(pcb).owner.get();
  return o ? o : pcb;
}
OpStd* std_of(RmRpt* r) { return r && r->std_rec ? reinterpret_cast<OpStd*>(r->std_rec.get()) : nullptr; }

const PbBreakEnt* rng_ent(Pcb* pcb, int level) {
  if (level < 0 || uint32_t(level) >= pcb->break_count || !pcb->break_tbl) return nullptr;
  return static_cast<const PbBreakEnt*>(pcb->break_tbl.get()) + level;
}

// A work file of "0LA" 00 made afresh in the report's scope (the one
// before it closed with scratch): the standard processes open it by name
// as their own file.
FmArb* remake(Ref<FmArb>& slot, RmRpt* r, const char* name8, int rec_len, const char* fail) {
  if (FmArb* f = slot.get(); f && fm_is_handle(f)) FM_CLOSE(f, FM_CL_SCRATCH);
  slot.reset();
  FmFdb fdb;
  INIT_FDB(&fdb, FM_CLASS_DISK, rec_len, 0, nullptr, 0);
  INIT_TMP_PATH(&fdb, "0LA", "00", name8, r->scope);
  if (!FM_CREATE(&fdb, r->scope, 0, 0, 15, 15)) {
    os_sys_err_text(kMod, __LINE__, fail);
    return nullptr;
  }
  slot.set(fdb.handle.get());
  return slot.get();
}

// Writes one record (copied into the arena for the file manager).
bool put(FmArb* f, const void* rec, size_t len, const char* fail) {
  if (!f) return false;
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), len));
  std::memcpy(buf, rec, len);
  PROTO_FULL(f, 0, buf);
  bool ok = fm_write(f) != 0;
  mm_free(buf);
  if (!ok) os_sys_err_text(kMod, __LINE__, fail);
  return ok;
}

// The detail frame (class 0) and the frames linked from it.
std::vector<EmCfrm*> detail_chain(Pcb* pcb) {
  std::vector<EmCfrm*> out;
  EmHeader* em = pcb->module.get();
  if (!em) return out;
  for (uint32_t s = 1; s <= em->n_frames; ++s)
    if (EmCfrm* f = fp_frame(pcb, s); f && f->code == opfrm::kDetail) {
      for (EmCfrm* g = f; g && out.size() <= em->n_frames; g = g->next ? fp_frame(pcb, g->next) : nullptr)
        out.push_back(g);
      break;
    }
  return out;
}

// Calls each(image, item) for the items of the images of the detail chain.
template <class F>
void each_detail_item(Pcb* pcb, F each) {
  PcbItemEnt* items = pcb->item_tbl.get();
  EmHeader* em = pcb->module.get();
  for (EmCfrm* f : detail_chain(pcb))
    for (uint32_t s = 1; em && s <= em->n_images; ++s) {
      EmCimg* ci = fp_image(pcb, s);
      if (!ci || ci->frame_seq != f->seq) continue;
      each(ci, nullptr);
      for (uint32_t i = ci->first_item; items && i && i <= ci->last_item; ++i)
        if (EmCitm* c = items[i].citm.get()) each(ci, c);
    }
}

bool may_see(Pcb* pcb, const EmCitm* c) {
  uint32_t code = c->secr[0];
  return code == 0xFFFFFFFFu || pi_chk_secr(int32_t(code), pcb);
}

bool numeric(uint8_t type) { return type == 5 || type == 8 || type == 12; }
bool is_auto_total(const EmCitm* c) { return c->total[0] != 0; }

// The summary entry of an automatic-total item: the running total of its
// field.
OpSum* sum_of(Pcb* pcb, const EmCitm* c) {
  OpPcb& op = op_pcb(pcb);
  OpSum* s = op.sums.get();
  for (uint32_t i = 0; s && i < op.sum_count; ++i) {
    const auto* ref = reinterpret_cast<const PcSum*>(s[i].sum_ref.get());
    if (ref && s[i].buckets && ref->app == c->app.view() && ref->area == c->area && ref->offset == c->offset)
      return &s[i];
  }
  return nullptr;
}

// Runs the Output process of "0LA" 00 that a generated frame stands for,
// as its one automatic child: SUBPROCESS of this process, printing into
// its report.
void run_std_child(Pcb* pcb, const char* name) {
  int completion = op_run_0la(pcb, name, 3, 3);
  if (completion == 4 || completion == 37) ut_unwind(completion);
}

}  // namespace

// ------------------------------------------------------------- STD file --
void op_std_put(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  OpStd* s = std_of(r);
  if (!s) return;
  // Made once per report; later its one record is rewritten, so that the
  // heading processes, which open the file by name, read it as it stands.
  if (FmArb* f = r->std_fi.get(); f && fm_is_handle(f)) {
    if (!rt_upd_first(f, s, sizeof(OpStd))) os_sys_err_text(kMod, __LINE__, "runtime STD file write failed");
    return;
  }
  if (FmArb* f = remake(r->std_fi, r, "STD     ", int(sizeof(OpStd)), "runtime STD file create failed"))
    put(f, s, sizeof(OpStd), "runtime STD file write failed");
}

void op_std_close(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  OpPcb& op = op_pcb(pcb);
  for (Ref<FmArb>* slot : {r ? &r->std_fi : nullptr, &op.stdhsub, &op.stdtsum}) {
    if (!slot) continue;
    if (FmArb* f = slot->get(); f && fm_is_handle(f)) FM_CLOSE(f, FM_CL_SCRATCH);
    slot->reset();
  }
}

void gen_std_date(Pcb* pcb, OpStd& std) {
  // The mask: QUVO_STD_PGH_MASK, else the application's, else the standard
  // one.
  char mask[61];
  std::memset(mask, ' ', 60);
  mask[60] = 0;
  const char* env = std::getenv("QUVO_STD_PGH_MASK");
  std::string m;
  if (env && *env) {
    m = std::string(env).substr(0, 60);
  } else if (const DAppl* a = pcb ? pi_get_dap(pcb->invoc.app.data(), pcb->invoc.ver.data()) : nullptr) {
    m = std::string(a->date_mask.trimmed());
  }
  if (m.empty()) m = "06/05/77 04:03 02.01";
  std::memcpy(mask, m.data(), m.size());
  HostTime now;
  os_quvo_time(&now);
  auto* host = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), 8 + 64));
  std::memcpy(host, &now, 8);
  uint8_t* tokens = host + 8;
  std::memcpy(tokens, mask, 60);
  DateDesc d;
  if (!GREG_BIN_TO_STD(&d, host)) {
    mm_free(host);
    os_sys_err_text(kMod, __LINE__, "gen_std_date() - bad standard date");
    return;
  }
  d.mask = tokens;
  d.mask_len = uint16_t(m.size());
  if (!cv_cmpl_date_msk(&d)) {
    mm_free(host);
    os_sys_err_text(kMod, __LINE__, "gen_std_date() - bad standard date mask");
    return;
  }
  char text[30];
  std::memset(text, ' ', sizeof text);
  cv_date_std_to_text(&d, text, sizeof text);
  std::memcpy(std.date.data(), text, sizeof text);
  mm_free(host);
}

// ---------------------------------------------------- heading items --
std::vector<OpStdHitm> oitm_rec(Pcb* pcb) {
  std::vector<OpStdHitm> out;
  RmRpt* r = op_rpt(pcb);
  OpStd* s = std_of(r);
  if (!s) return out;
  Pcb* owner = owner_of(pcb);
  bool heads = s->mode == kOpHeadUline || (owner->module && op_em_colh(owner->module.get()));
  int width = std::min<int>(s->width, kOpMaxWidth);
  uint16_t ordinal = 0;
  each_detail_item(pcb, [&](EmCimg* ci, EmCitm* c) {
    if (!c) {  // the image: its columns not owned yet become its own
      ordinal = s->counter;
      s->counter = uint16_t(s->counter + 1);
      op_std_own(*s, std::max<int>(ci->col, 1), std::max<int>(ci->cols, 1), ordinal);
      return;
    }
    if (!heads || (c->text1.blank() && c->text2.blank())) return;
    int col = std::max<int>(ci->col, 1) + c->wm.col - 1;
    if (col < 1 || col > width) return;
    OpStdHitm h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    int w = std::min<int>(c->wm.text_len, width - col + 1);
    uint8_t align = kOpAlignLeft;
    if (numeric(c->wm.data_type)) {
      if (!c->wm.mask.blank()) align = kOpAlignRight;
    } else if (c->wm.data_type == 1 || c->wm.data_type == 2 || c->wm.data_type == 13) {
      align = kOpAlignLeft;
    }
    h.col = uint16_t(col);
    h.width = uint16_t(std::max(w, 1));
    h.ordinal = ordinal;
    h.align = align;
    h.head1 = c->text1;
    h.head2 = c->text2;
    out.push_back(h);
  });
  return out;
}

// --------------------------------------------------------- subheading --
namespace {

// An arena buffer of the process pool, given back on every way out.
struct PoolBuf {
  uint8_t* p;
  explicit PoolBuf(size_t n) : p(static_cast<uint8_t*>(MM_ALLOC(pi_pool(), n ? n : 1))) { std::memset(p, 0, n ? n : 1); }
  ~PoolBuf() { mm_free(p); }
  PoolBuf(const PoolBuf&) = delete;
  PoolBuf& operator=(const PoolBuf&) = delete;
};

bool alpha(int type) { return type == 1 || type == 2 || type == 13; }

// The look-up field's key (the element to, at its place in rec) from the
// range field's stored value: the bytes when both are stored alike; an
// alpha value cut or blank-filled; a number by its value (one that does not
// fit the key field finds nothing). False when the two cannot meet.
bool put_key(const DElem& to, uint8_t* rec, const DElem& from, const uint8_t* value) {
  uint8_t* at = rec + to.offset.get();
  size_t tl = to.length, fl = from.length;
  if (to.type == from.type && tl == fl) {
    std::memcpy(at, value, tl);
    return true;
  }
  if (alpha(to.type) && alpha(from.type)) {
    std::memset(at, ' ', tl);
    std::memcpy(at, value, std::min(tl, fl));
    return true;
  }
  if (numeric(to.type) && numeric(from.type)) {
    CvNum n;
    uint32_t msg = 0;
    return cv_num_get(from.type, value, int(fl), from.decimals, from.sign == '1', &n) &&
           cv_num_put(to.type, at, int(tl), to.digits, to.decimals, to.sign == '1', n, &msg);
  }
  return false;
}

// The descriptive fields of a look-up file, as the module holds them: its
// compiled fields of the file's application and record area, in order.
// None when the module keeps no compiled field; false when they cannot be
// read.
bool desc_fields(EmHeader* em, const char* app, uint32_t area, std::vector<std::string>* out) {
  FmArb* c = em ? em->cfld.get() : nullptr;
  if (!c || !fm_is_handle(c)) return true;
  FmArbKeep keep(c);
  PoolBuf k(sizeof(EmCfld));
  std::memcpy(k.p, app, 3);
  if (!fm_start_at(c, 1, k.p, k.p, 3)) return false;
  c->op = 0;
  while (fm_rdnxt(c)) {
    const auto* r = reinterpret_cast<const EmCfld*>(k.p);
    if (std::memcmp(r->app.data(), app, 3) != 0) break;
    if (r->area == area) out->emplace_back(r->name.trimmed());
  }
  return true;
}

// The lines of the range field's look-up record: when its element names a
// look-up file, the record of that file whose look-up key equals the range
// field's value, read into a buffer of its own (the process's record areas
// stay as they are), gives one line per descriptive field. No line when
// the element names none or no record has the key.
void osub_lookup(Pcb* pcb, FmArb* f, const DElem& range, const uint8_t* value) {
  if (range.ref_app.blank()) return;
  EmHeader* em = pcb->module.get();
  char app[4] = {};
  std::memcpy(app, range.ref_app.data(), 3);
  EmCfi* cfi = pi_get_cfi(em, app, reinterpret_cast<const char*>(range.ref_file.data()));
  if (!cfi) {
    os_sys_err_text(kMod, __LINE__, "can't locate lookup file");
    return;
  }
  const EmCap* cap = pi_get_cap(em, app);
  char ver[3] = {};
  std::vector<DElem> elems;
  if (cap) std::memcpy(ver, cap->ver.data(), 2);
  if (!cap || !pi_file_elems(app, ver, cfi->fdb.name, &elems)) {
    os_sys_err_text(kMod, __LINE__, "fill_osub() - can't locate lookup field's cap record");
    return;
  }
  auto elem = [&](std::string_view name) -> const DElem* {
    for (const DElem& e : elems)
      if (e.name.trimmed() == name && e.kind != 2 && e.kind != 3) return &e;
    return nullptr;
  };
  const DElem* key = elem(range.ref_field.trimmed());
  if (!key) {
    os_sys_err_text(kMod, __LINE__, "fill_osub() - can't locate lookup field's delem record");
    return;
  }
  auto* ctl = reinterpret_cast<PiFileCtl*>(pi_find_addr(pcb, app, cfi->ctl_area, 1, 0, nullptr));
  FmArb* h = ctl ? ctl->handle.get() : nullptr;
  if (!h || !fm_is_handle(h)) return;
  // The buffer holds a record of the file as opened (its keys are read from
  // it) and as the module describes it, and the read copies no more.
  size_t len = std::max<size_t>(cfi->fdb.rec_len, h->file ? h->file->fdb.rec_len.get() : 0);
  if (len == 0 || len > FM_MAX_REC || size_t(key->offset) + key->length > len || key->key_no == 255) return;
  PoolBuf rec(len);
  if (!put_key(*key, rec.p, range, value)) return;
  {
    FmArbKeep keep(h);
    h->rec_len = uint16_t(len);
    if (!pi_lookup_read(ctl, key->key_no, rec.p, true)) return;
  }
  std::vector<std::string> names;
  if (!desc_fields(em, app, cfi->rec_area, &names)) {
    os_sys_err_text(kMod, __LINE__, "fill_osub() - can't start cfld file");
    return;
  }
  OpStdHsub line;
  for (const std::string& name : names) {
    const DElem* e = elem(name);
    if (!e) continue;
    if (size_t(e->offset) + e->length > len) {
      os_sys_err_text(kMod, __LINE__, "fill_osub() - can't find desc field's internal value");
      return;
    }
    std::string text;
    if (!pi_field_text(*e, rec.p + e->offset.get(), int(sizeof line.line), app, ver, &text)) {
      os_sys_err_text(kMod, __LINE__, "fill_osub() - can't produce desc field's external value");
      return;
    }
    line.line.set(text);
    if (!put(f, &line, sizeof line, "fill_osub() - runtime STDHSUB write failed")) return;
  }
}

}  // namespace

void fill_osub(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  OpPcb& o = op_pcb(owner_of(pcb));
  if (!r) return;
  FmArb* f = remake(o.stdhsub, r, "STDHSUB ", int(sizeof(OpStdHsub)), "runtime STDHSUB file create failed");
  const PbBreakEnt* e = rng_ent(pcb, op_pcb(pcb).cur_level);
  if (!f || !e) return;
  OpStdHsub line;
  std::string label, value;
  DElem elem;
  const uint8_t* stored = nullptr;
  if (!pi_pcf_field_text(pcb, std::string(e->app.view()).c_str(), std::string(e->field.view()).c_str(),
                         std::max<int>(e->levels, 1), int(sizeof line.line), &value, &label, &elem, &stored)) {
    os_sys_err_text(kMod, __LINE__, "fill_osub() - can't produce range field's external value");
    return;
  }
  line.line.set(e->label.blank() ? label : std::string(e->label.trimmed()));
  if (!put(f, &line, sizeof line, "fill_osub() - runtime STDHSUB write failed")) return;
  line.line.set(value);
  if (!put(f, &line, sizeof line, "fill_osub() - runtime STDHSUB write failed")) return;
  osub_lookup(pcb, f, elem, stored);
}

// ----------------------------------------------------------- subtotal --
void osum_rec(Pcb* pcb, int level) {
  OpPcb& o = op_pcb(owner_of(pcb));
  FmArb* f = o.stdtsum.get();
  RmRpt* r = op_rpt(pcb);
  if (!f || !r) return;
  int width = std::min<int>(r->width, kOpMaxWidth);
  each_detail_item(pcb, [&](EmCimg* ci, EmCitm* c) {
    if (!c || !ci->totals || !is_auto_total(c) || !may_see(pcb, c)) return;
    OpSum* sum = sum_of(pcb, c);
    if (!sum || level < 0 || level > sum->inner) return;
    int col = std::max<int>(ci->col, 1) + c->wm.col - 1;
    int w = std::min<int>(c->wm.text_len, 30);
    if (col < 1 || col + w - 1 > width) return;
    const auto* b = reinterpret_cast<const OpBucket*>(sum->buckets.get()) + level;
    std::string_view mask = c->wm.mask.trimmed();
    OpStdTsum t;
    t.col = uint16_t(col);
    t.width = uint16_t(w);
    t.text.clear();
    op_bucket_text(*b, mask.data(), int(mask.size()), reinterpret_cast<char*>(t.text.data()), w);
    put(f, &t, sizeof t, "fill_osum() - runtime STDTSUM write failed");
  });
}

void fill_osum(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  OpPcb& op = op_pcb(pcb);
  OpPcb& o = op_pcb(owner_of(pcb));
  if (!r) return;
  FmArb* f = remake(o.stdtsum, r, "STDTSUM ", int(sizeof(OpStdTsum)), "runtime STDTSUM file create failed");
  if (!f) return;
  int level = op.cur_level;
  OpStdTsum t;
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  uint32_t msg = 300600;
  const PbBreakEnt* e = pcb->break_count ? rng_ent(pcb, level) : nullptr;
  if (e && level > 0) {
    t.text = e->label;
    msg = 300610;
  } else if (owner_of(pcb) != pcb) {
    if (PiFileCtl* fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get()); fc && fc->cfi)
      t.text.set(fc->cfi->fdb.name.trimmed());
    msg = 300620;
  } else {
    t.text.clear();
  }
  put(f, &t, sizeof t, "fill_osum() - runtime STDTSUM write failed");
  t.text.set(la_text(msg));
  put(f, &t, sizeof t, "fill_osum() - runtime STDTSUM write failed");
  osum_rec(pcb, level);
}

// ------------------------------------------------- generated frames --
int op_gen_rng_frm(Pcb* pcb, int level, int kind) {
  EmHeader* em = pcb->module.get();
  OpPcb& op = op_pcb(pcb);
  if (!em) return 0;
  const PbBreakEnt* e = rng_ent(pcb, level);
  bool want;
  if (pcb->break_count == 0) {
    // Without ranges: a total frame when the process totals items itself.
    bool totals = false;
    each_detail_item(pcb, [&](EmCimg*, EmCitm* c) { totals |= c && is_auto_total(c) && sum_of(pcb, c); });
    want = kind == opfrm::kRngEnd && totals;
  } else if (!e) {
    want = false;
  } else if (kind == opfrm::kRngStart) {
    want = e->flags[kRngSubhead] && level > 0 && e->app == em->pcf_app.view();
  } else {
    want = e->flags[kRngSubtotal] != 0;
  }
  if (!want) return 0;
  op.gen_count = uint16_t(op.gen_count + 1);
  return int(em->n_frames) + op.gen_count;
}

bool op_frm_generated_no(Pcb* pcb, int frame) {
  EmHeader* em = pcb->module.get();
  return em && frame > int(em->n_frames);
}

int op_run_rng_frame(Pcb* pcb, int frame, int kind) {
  if (frame <= 0) return kFpDone;
  if (op_frm_generated_no(pcb, frame)) {
    if (kind == opfrm::kRngStart) {
      fill_osub(pcb);
      run_std_child(pcb, "STANDARD SUBHEADING");
    } else {
      fill_osum(pcb);
      run_std_child(pcb, "STANDARD SUBTOTAL");
    }
    return kFpDone;
  }
  // A defined frame that prints a standard subheading or subtotal (one of
  // its chain asks for it) gets it filled first.
  EmHeader* em = pcb->module.get();
  int hops = 0;
  for (EmCfrm* f = fp_frame(pcb, uint32_t(frame)); f && hops <= int(em->n_frames);
       f = f->next ? fp_frame(pcb, f->next) : nullptr, ++hops)
    if (op_frm_std_kind(f) == 1) {
      if (kind == opfrm::kRngStart) fill_osub(pcb);
      else fill_osum(pcb);
      break;
    }
  return op_run_frame(pcb, uint32_t(frame));
}
