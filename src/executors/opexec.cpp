// The Output and Inquiry executor: report start and end, the record loop
// with its range levels, automatic-mode joins, inquiry, clean-up. See op.h.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "executors/fp.h"
#include "executors/op.h"
#include "executors/opstd.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pb.h"
#include "process/pc.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pipcf.h"
#include "process/pishr.h"
#include "process/services.h"
#include "screen/wm.h"

namespace {

constexpr const char* kMod = "OP";
constexpr int kAutoInquiry = 3;
constexpr int kPcbOptsArea = 1, kPcbUserArea = 16;
constexpr uint32_t kOpEof = 200360;  // read next at the end of the file

[[noreturn]] void sys_fail(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
  ut_unwind(4);
}

uint8_t* area(Pcb* pcb, int n) {
  EmHeader* em = pcb->module.get();
  if (!pcb->area_addr || !em || uint32_t(n) > em->n_areas) return nullptr;
  return pcb->area_addr.get()[n].get();
}
PdStatus* status_of(Pcb* pcb) { return reinterpret_cast<PdStatus*>(area(pcb, kPcbStatusArea)); }
PdArea1* opts_of(Pcb* pcb) { return reinterpret_cast<PdArea1*>(area(pcb, kPcbOptsArea)); }

Pcb* parent_of(Pcb* pcb) { return static_cast<Pcb*>(pcb->invoc.parent_pcb.get()); }
bool is_report_type(const Pcb* p) { return p && (p->invoc.type == 3 || p->invoc.type == 9); }
bool inquiry_mode(const Pcb* pcb) { return pcb->invoc.auto_mode == kAutoInquiry; }

// Publishes the report's page number and lines left into data area 7.
void put_page(Pcb* pcb, RmRpt* r) {
  if (PdStatus* st = status_of(pcb)) {
    st->page_no = r->page;
    st->lines_left = r->lines_left;
  }
}

// A frame of the process by class (its sequence), 0 when there is none.
int frm_of_class(Pcb* pcb, int cls) {
  EmHeader* em = pcb->module.get();
  if (!em) return 0;
  for (uint32_t s = 1; s <= em->n_frames; ++s)
    if (EmCfrm* f = fp_frame(pcb, s); f && f->code == cls) return int(s);
  return 0;
}

// Runs a frame (sequence) when there is one; its result, or 22.
int run_frame(Pcb* pcb, int seq) {
  if (seq <= 0) return kFpDone;
  return op_run_frame(pcb, uint32_t(seq));
}

// Merges the buffers above `line` down into it when the buffer after it
// carries no window; the current buffer becomes `line`, printed when it is
// the page buffer.
void merge_back(Pcb* pcb, int line) {
  OpPcb& op = op_pcb(pcb);
  RmRpt* r = op_rpt(pcb);
  if (!r || op.cur_buf == line) return;
  if (RmBuf* b = rm_buf(r, line + 1); b && b->wnd_count) return;
  rm_empty(r, line, 0, 1);
  op.cur_buf = uint16_t(line);
  if (line == 0 && !op_prt_buf(pcb, 0, 0)) os_sys_err_text(kMod, __LINE__, "op_exec, print buffer failed");
}

// The current frame is a scrolling one (its images stacked in a window).
bool scrolling(Pcb* pcb) {
  EmCfrm* f = op_pcb_run(pcb).cur_frm.get();
  return f && f->scroll != 0;
}

std::string trimmed(const char* p, size_t n) {
  while (n > 0 && p[n - 1] == ' ') --n;
  return std::string(p, n);
}

// The progress window of a report owner while its report prints: one row
// as wide as its text, centred, on the process's surface (or the message
// surface), shown without waiting for a key. It goes when the report ends
// (rpt_end of an inquiry, else op_cleanup).
std::map<const Pcb*, WmHandle>& progress_wins() {
  static std::map<const Pcb*, WmHandle> w;
  return w;
}

void progress_show(Pcb* pcb, const EmHeader* em) {
  if (!com.screen_up || !wm_up() || progress_wins().count(pcb)) return;
  std::string_view msg = op_em_rpt_msg(em);
  if (msg.substr(0, 2) == "\"\"") return;
  std::string text = trimmed(msg.data(), msg.size());
  if (text.empty()) text = la_text(1300);
  if (em->proc_name == "STANDARD MOD LOG") text = la_text(519090) + " " + la_text(1300);
  if (text.size() > 60) text.resize(60);
  int cols = std::min<int>(int(text.size()), com.cols);
  if (cols < 1) return;
  int row = std::max(1, (int(com.rows) - 3) / 2 - 2), col = std::max(1, (int(com.cols) - cols) / 2);
  WmWnd w;
  INIT_WND(&w, 1, row, col, 1, cols, 0);
  WmHandle surface = pcb->surface1 ? WmHandle(pcb->surface1.get()) : WmHandle(com.msg_surface.get());
  WmHandle win = wm_attach(&w, surface, int(com.base_scope));
  if (!win) return;
  wm_write_reg(wm_cur_reg(win), std::string_view(text).substr(0, size_t(cols)));
  WmShow sb;
  std::memset(static_cast<void*>(&sb), 0, sizeof sb);
  sb.flags = wmshow::kDraw;
  wm_show(&sb, 0);
  progress_wins()[pcb] = win;
}

void progress_end(Pcb* pcb) {
  auto it = progress_wins().find(pcb);
  if (it == progress_wins().end()) return;
  WmHandle win = it->second;
  progress_wins().erase(it);
  if (wm_up()) wm_detach(win, 1);
}

}  // namespace

// ---------------------------------------------------- module accessors --
std::string_view op_em_rpt_msg(const EmHeader* em) {
  return {reinterpret_cast<const char*>(em->def246.data()), 60};
}
int op_em_page_width(const EmHeader* em) { return em->def306[0] | (em->def306[1] << 8); }
int op_em_foot_lines(const EmHeader* em) { return em->def179[0] | (em->def179[1] << 8); }
char op_em_uline(const EmHeader* em) { return em->def179[2] > ' ' ? char(em->def179[2]) : '-'; }
bool op_em_colh(const EmHeader* em) { return em->flags376[0] == 1; }
bool op_em_pre_head(const EmHeader* em) { return em->flags376[1] == 1; }
std::string op_em_prt_name(const EmHeader* em) {
  char n[8];
  std::memcpy(n, em->def368.data(), 4);
  std::memcpy(n + 4, em->def372.data(), 4);
  return trimmed(n, 8);
}
// The report process a module names: its name, and its application or,
// blank, the module's own (as the compiler made its child).
bool op_em_names_rpt(const EmHeader* em) {
  bool blank = true;
  for (size_t i = 0; i < em->def216.size(); ++i) blank = blank && (em->def216[i] == ' ' || em->def216[i] == 0);
  return !blank && !op_em_is_rpt_proc(em, em);
}
bool op_em_is_rpt_proc(const EmHeader* rpt_owner_em, const EmHeader* em) {
  const void* app = rpt_owner_em->def213[0] > ' ' ? static_cast<const void*>(rpt_owner_em->def213.data())
                                                   : static_cast<const void*>(rpt_owner_em->app.data());
  return std::memcmp(app, em->app.data(), 3) == 0 &&
         std::memcmp(rpt_owner_em->def216.data(), em->proc_name.data(), 30) == 0;
}

// ------------------------------------------------------------- frames --
int load_frm_no(Pcb* pcb, int frame_class) { return frm_of_class(pcb, frame_class); }

int chk_rng(Pcb* pcb) {
  OpPcb& op = op_pcb(pcb);
  if (!fp_has_pcf(pcb)) return 0;
  uint32_t n = pcb->break_count;
  const uint8_t* now = static_cast<const uint8_t*>(pcb->break_tbl.get());
  const uint8_t* saved = op.saved_rng.get();
  uint32_t was = saved ? rec::view<rec::U32>(saved) : 0;
  if (n == 0) return 0;
  if (was != n || !now || !saved) return 1;
  for (uint32_t i = 0; i < n; ++i) {
    const auto& a = rec::view<PbBreakEnt>(now + i * sizeof(PbBreakEnt));
    const auto& b = rec::view<PbBreakEnt>(saved + 4 + i * sizeof(PbBreakEnt));
    if (!(a.app == b.app) || !(a.field == b.field) || a.levels != b.levels || a.flags[1] != b.flags[1] ||
        a.flags[2] != b.flags[2])
      return 1;
  }
  return 0;
}

void restore_dflt(Pcb*) {}

// -------------------------------------------------------- range levels --
namespace {

constexpr uint32_t kRngStart = 200620, kRngEnd = 200370;
// The flags of a range table entry this executor reads.
constexpr int kRngNewPageBefore = 0, kRngSubhead = 1, kRngSubtotal = 2, kRngNewPageAfter = 3;

const PbBreakEnt* rng_ent(Pcb* pcb, int level) {
  if (level < 0 || uint32_t(level) >= pcb->break_count || !pcb->break_tbl) return nullptr;
  return static_cast<const PbBreakEnt*>(pcb->break_tbl.get()) + level;
}
bool rng_flag(Pcb* pcb, int level, int flag) {
  const PbBreakEnt* e = rng_ent(pcb, level);
  return e && e->flags[flag] != 0;
}
rec::U16* per_level(const Ref<rec::U16>& a, int level) { return a ? a.get() + level : nullptr; }

}  // namespace

int load_rng_frm_no(Pcb* pcb, int level, int kind) {
  EmHeader* em = pcb->module.get();
  if (!em || (kind != opfrm::kRngStart && kind != opfrm::kRngEnd)) return 0;
  const PbBreakEnt* e = rng_ent(pcb, level);
  if (!e && pcb->break_count > 0) return 0;
  // Level 0 of a process without ranges: the frame without a group.
  std::string app = e ? std::string(e->app.trimmed()) : std::string();
  std::string field = e ? std::string(e->field.trimmed()) : std::string();
  uint16_t occ = e ? uint16_t(e->levels) : uint16_t(0);
  for (uint32_t s = 1; s <= em->n_frames; ++s) {
    EmCfrm* f = fp_frame(pcb, s);
    if (!f || f->code != kind || f->grp_app.trimmed() != app || f->grp_name.trimmed() != field) continue;
    if (occ > 1 && f->grp_no != occ) continue;
    return int(s);
  }
  return op_gen_rng_frm(pcb, level, kind);
}

void op_rng_setup(Pcb* pcb, bool first_run) {
  OpPcb& op = op_pcb(pcb);
  RmRpt* r = op_rpt(pcb);
  if (!r) return;
  int levels = int(std::max<uint32_t>(pcb->break_count, 1));
  if (first_run || op.levels != levels || !op.rng_line) {
    // The per-level arrays live in the report's pool, as long as the
    // report this process prints into.
    auto arr = [&](Ref<rec::U16>& a) {
      auto* p = static_cast<rec::U16*>(MM_ALLOC(r->pool, size_t(levels) * sizeof(rec::U16)));
      std::memset(static_cast<void*>(p), 0, size_t(levels) * sizeof(rec::U16));
      a = Ref<rec::U16>::of(p);
    };
    arr(op.rng_line);
    arr(op.rng_sfrm);
    arr(op.rng_efrm);
    op.levels = uint16_t(levels);
    for (int l = 0; l < levels; ++l) {
      *per_level(op.rng_sfrm, l) = uint16_t(load_rng_frm_no(pcb, l, opfrm::kRngStart));
      *per_level(op.rng_efrm, l) = uint16_t(load_rng_frm_no(pcb, l, opfrm::kRngEnd));
    }
  }
  // The range table as it stands, for chk_rng on the next run: its count,
  // then its entries.
  // (A child run once per record of its parent keeps the one copy.)
  uint32_t n = pcb->break_count;
  uint8_t* saved = first_run ? nullptr : op.saved_rng.get();
  if (!saved || rec::view<rec::U32>(saved) != n)
    saved = static_cast<uint8_t*>(MM_ALLOC(r->pool, 4 + n * sizeof(PbBreakEnt)));
  rec::view<rec::U32>(saved) = n;
  if (n && pcb->break_tbl) std::memcpy(saved + 4, pcb->break_tbl.get(), n * sizeof(PbBreakEnt));
  op.saved_rng = Ref<uint8_t>::of(saved);
  op.cur_level = 0;
  if (n == 0) {
    *per_level(op.rng_line, 0) = op.cur_buf;
    op_run_rng_frame(pcb, *per_level(op.rng_sfrm, 0), opfrm::kRngStart);
  }
}

void op_rng_event(Pcb* pcb, uint32_t status, int level, OpRngPass* pass) {
  OpPcb& op = op_pcb(pcb);
  RmRpt* r = op_rpt(pcb);
  int levels = op.levels;
  // An event of a level the range table does not hold has no frames.
  if (!r || level < 0 || level >= levels || pcb->break_count == 0) return;
  bool end = status == kRngEnd;
  int frame;
  if (end) {
    frame = *per_level(op.rng_efrm, level);
    if (rng_flag(pcb, level, kRngNewPageAfter)) {
      op_prt_buf(pcb, 1, 0);
      prt_pg_end(pcb);
    }
  } else {
    if (pass->first_start < 0) pass->first_start = level;
    *per_level(op.rng_line, level) = op.cur_buf;
    frame = *per_level(op.rng_sfrm, level);
    if (!pass->new_page) {
      for (int l = level; l < levels; ++l)
        if (rng_flag(pcb, l, kRngNewPageBefore)) {
          op_prt_buf(pcb, 1, 0);
          prt_pg_end(pcb);
          pass->new_page = true;
          break;
        }
    }
  }
  op.cur_level = uint16_t(level);
  if (!end && op_frm_generated_no(pcb, frame) && r->std_rec) {
    // The first and the last level of this pass's starts that print a
    // standard subheading.
    auto& std = rec::view<OpStd>(r->std_rec.get());
    int first = -1, last = -1;
    for (int l = std::max(pass->first_start, 0); l < levels; ++l)
      if (rng_flag(pcb, l, kRngSubhead)) {
        if (first < 0) first = l;
        last = l;
      }
    std.first_sub = level == first ? '1' : '0';
    std.last_sub = level == last ? '1' : '0';
  }
  op_run_rng_frame(pcb, frame, end ? opfrm::kRngEnd : opfrm::kRngStart);
  if (r->std_rec) {
    auto& std = rec::view<OpStd>(r->std_rec.get());
    std.first_sub = '0';
    std.last_sub = '0';
  }
  if (!end) return;
  op_sum_roll(pcb);
  op.cur_level = uint16_t(levels - 1);
  merge_back(pcb, *per_level(op.rng_line, level));
}

void op_rng_eof(Pcb* pcb) {
  OpPcb& op = op_pcb(pcb);
  if (!op.rng_line) return;
  op.cur_level = 0;
  op_run_rng_frame(pcb, *per_level(op.rng_efrm, 0), opfrm::kRngEnd);
  op_sum_roll(pcb);
  merge_back(pcb, *per_level(op.rng_line, 0));
}

void op_rng_detail(Pcb* pcb, int detail) {
  OpPcb& op = op_pcb(pcb);
  int line = op.cur_buf;
  run_frame(pcb, detail);
  if (op.cur_buf != line && !scrolling(pcb)) merge_back(pcb, line);
}

// ------------------------------------------------------- report start --
void rpt_start(Pcb* pcb) {
  EmHeader* em = pcb->module.get();
  OpPcb& op = op_pcb(pcb);
  PdArea1* opts = opts_of(pcb);
  int width = op_em_page_width(em);
  if (width == 0) width = 80;
  width = std::clamp(width, 1, kRmMaxCols);
  int length = 60;
  std::string title = trimmed(reinterpret_cast<const char*>(em->title.data()), 60);
  std::string prt = op_em_prt_name(em);
  if (em->proc_name == "STANDARD MOD LOG") {
    if (Pcb* parent = parent_of(pcb); parent && parent->module) {
      EmHeader* pe = parent->module.get();
      std::string named = trimmed(reinterpret_cast<const char*>(pe->title.data()), 60);
      if (named.empty()) named = std::string(pe->proc_name.trimmed());
      std::string who = la_text(519090);
      size_t at = who.find("%1");
      if (at != std::string::npos) who.replace(at, 2, std::string(pe->proc_name.trimmed()));
      title = who + ": " + named;
      prt = op_em_prt_name(pe);
      if (prt.empty()) prt = "MODLOG";
    }
  }
  if (title.size() > 60) title.resize(60);
  progress_show(pcb, em);
  int scope = pcb->pool_scope ? int(pcb->pool_scope) : 0;
  char path[255];
  RmRpt* r = rm_create(title.c_str(), prt.c_str(), width, path, scope);
  if (!r) sys_fail(__LINE__, "rpt_start, report create failure");
  pcb->report = Ref<void>::of(r);
  op.owner = Ref<Pcb>::of(pcb);
  op.rpt_no = r->number;
  if (r->status != kRmOk) ut_unwind(int(r->status));
  if (opts) {
    std::memcpy(opts->print_path.data(), path, sizeof path);
    std::memcpy(r->opts.data(), opts, kRmOptsLen);
  }
  PmCtl* pc = r->pc.get();
  r->page_len = uint16_t(length);
  r->lines_left = length;
  r->np_start = 1;
  r->np_end = 1;
  pc->form_name.clear();
  pc->form_id.clear();
  pc->form_ctl.clear();
  pc->printer_flag = 0;
  pc->printer_name.clear();
  pc->printer_id.clear();
  pc->printer_queue.clear();
  pc->printer_ctl.clear();
  r->foot = uint16_t(op_em_foot_lines(em));
  if (PdStatus* st = status_of(pcb)) {
    st->page_width = uint16_t(width);
    st->page_len = uint16_t(length);
  }
  op.cur_buf = rm_newest(r) ? rm_newest(r)->id : 0;
  cmpl_img(pcb);
  // The standard heading record.
  auto* std = static_cast<OpStd*>(MM_ALLOC(r->pool, sizeof(OpStd)));
  op_std_init(*std, r->page ? r->page : 1, width, title, op_em_uline(em), la_text(517000));
  r->std_rec = Ref<uint8_t>::of(reinterpret_cast<uint8_t*>(std));
  op.level = 0;
  op_bld_sum(pcb);
  gen_std_pgh(pcb);
  op_std_put(pcb);
  // The report start frame, with the heading chain current.
  if (int start = frm_of_class(pcb, opfrm::kRptStart)) {
    rm_use_heading(r, true);
    r->page_ended = 0;
    if (r->np_start && !rm_print(r, 0, -1)) os_sys_err_text(kMod, __LINE__, "rpt_start, print new page failed");
    run_frame(pcb, start);
    if (!rm_print(r, 1, 0)) os_sys_err_text(kMod, __LINE__, "rpt_start, page buf print failed");
    r->page_ended = 1;
    rm_use_heading(r, false);
    op.cur_buf = 0;
  }
  put_page(pcb, r);
  bool sep = op_em_names_rpt(em);
  op.pgh_frm = uint16_t(frm_of_class(pcb, sep ? opfrm::kSepRpt : opfrm::kPageHead));
  op.pgf_frm = uint16_t(frm_of_class(pcb, sep ? opfrm::kSepRpt : opfrm::kPageFoot));
  op.pre_frm = uint16_t(frm_of_class(pcb, opfrm::kPreHead));
  op.post_frm = uint16_t(frm_of_class(pcb, opfrm::kPostHead));
}

// ----------------------------------------------------------- standard --
void gen_std_pgh(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  if (!r || !r->std_rec) return;
  auto& std = rec::view<OpStd>(r->std_rec.get());
  std.page = r->page ? r->page : 1;
  std.width = r->width;
  std::string db_name, heading, prefix;
  // Line 1: the name of the database the process runs in.
  if (const auto* a9 = pi_area_rec<PdArea9>(pcb, 9))
    if (const DDatabase* d = pi_get_ddb(a9->cur_db.data())) db_name = d->name.str();
  if (const PdArea1* o = opts_of(pcb)) heading = o->heading.str();
  if (const uint8_t* u = area(pcb, kPcbUserArea)) prefix.assign(reinterpret_cast<const char*>(u), 3);
  std::vector<OpStdHitm> items;
  if (std.rebuild == '1') {
    gen_std_date(pcb, std);
    items = oitm_rec(pcb);
  }
  op_std_pgh(std, {db_name, heading, prefix}, items);
}

void op_bld_sum(Pcb* pcb) {
  OpPcb& op = op_pcb(pcb);
  EmHeader* em = pcb->module.get();
  int mode = pcb->invoc.auto_mode;
  if (!em || (mode != 0 && mode != kAutoInquiry)) return;
  // The old entries go (their blocks are in the process pool).
  if (OpSum* old = op.sums.get()) {
    for (uint32_t i = 0; i < op.sum_count; ++i) {
      if (uint8_t* b = old[i].buckets.get()) mm_free(b);
      if (uint8_t* r = old[i].sum_ref.get()) mm_free(r);
    }
    mm_free(old);
  }
  op.sums.reset();
  op.sum_count = 0;
  op.auto_count = 0;
  uint32_t count = rec::view<rec::U32>(em->b1280.data());
  FmArb* f = em->sum.get();
  if (count == 0 || !f) return;
  MmPool pool = pcb->pool ? MmPool(pcb->pool) : pi_pool();
  auto* ents = static_cast<OpSum*>(MM_ALLOC(pool, count * sizeof(OpSum)));
  std::memset(static_cast<void*>(ents), 0, count * sizeof(OpSum));
  uint16_t levels = uint16_t(std::max<uint32_t>(pcb->break_count, 1));
  f->key_no = 0;
  f->op = FM_OP_FIRST;
  if (!fm_start(f)) sys_fail(__LINE__, "op_bld_sum() - em_sum_arb readnext failed ");
  f->op = FM_OP_FAST;
  while (uint8_t* p = fm_rdnxt_fast(f, 0)) {
    const PcSum& sum = rec::view<PcSum>(p);
    if (sum.number >= count) continue;
    OpSum& e = ents[sum.number];
    auto* ref = static_cast<uint8_t*>(MM_ALLOC(pool, sizeof(PcSum)));
    std::memcpy(ref, p, sizeof(PcSum));
    e.sum_ref = Ref<uint8_t>::of(ref);
    if (sum.total) {  // a running total: one bucket per range level
      auto* b = static_cast<OpBucket*>(MM_ALLOC(pool, levels * sizeof(OpBucket)));
      for (uint16_t l = 0; l < levels; ++l) op_bucket_zero(b[l]);
      e.buckets = Ref<uint8_t>::of(reinterpret_cast<uint8_t*>(b));
      e.inner = uint16_t(levels - 1);
    }
  }
  f->op = 0;
  op.sums = Ref<OpSum>::of(ents);
  op.sum_count = uint16_t(count);
  // Each rolls into the same summary of the nearest parent printing a
  // plain detail image of this report, when that is a running total.
  Pcb* owner = op.owner.get();
  for (Pcb* p = pcb; p != owner && p;) {
    Pcb* up = parent_of(p);
    if (!up || !is_report_type(up)) break;
    OpPcb& uo = op_pcb(up);
    EmCfrm* fr = op_pcb_run(up).cur_frm.get();
    EmCimg* im = op_pcb_run(up).cur_img.get();
    if (!fr || fr->code != opfrm::kDetail || !im) break;
    bool found = false;
    for (uint32_t i = 0; i < count; ++i) {
      const PcSum* mine = reinterpret_cast<const PcSum*>(ents[i].sum_ref.get());
      if (!mine) continue;
      for (uint32_t j = 0; j < uo.sum_count; ++j) {
        const PcSum* theirs = reinterpret_cast<const PcSum*>(uo.sums.get()[j].sum_ref.get());
        if (theirs && theirs->app == mine->app && theirs->area == mine->area && theirs->offset == mine->offset &&
            theirs->index == mine->index) {
          if (uo.sums.get()[j].buckets) ents[i].roll = Ref<OpSum>::of(&uo.sums.get()[j]);
          found = true;
        }
      }
    }
    if (found) break;
    p = up;
  }
}

void op_sum_roll(Pcb* pcb) {
  OpPcb& op = op_pcb(pcb);
  if (OpSum* s = op.sums.get()) op_sum_roll_ents(pcb, s, op.sum_count, op.cur_level);
}

// --------------------------------------------------------- report end --
namespace {
// PRINT ON SCREEN when the print options ask for it: its CANCEL (4) prints
// nothing; 4 or 37 become the report's result.
void ask_on_screen(Pcb* pcb, PdArea1* o, int* result) {
  if (o->on_screen[0] != '1') return;
  int c = op_print_on_screen(pcb);
  if (c == 4 || c == 37) *result = c;
  if (c == 4) o->print.set("0");
}

// The report's blocks go: its standard files, its registry entry and pool.
int drop_report(Pcb* pcb, RmRpt* r, int result) {
  op_std_close(pcb);
  rm_cleanup(r);
  pcb->report.reset();
  op_pcb(pcb).owner.reset();
  return result;
}
}  // namespace

int rpt_end(Pcb* pcb) {
  RmRpt* r = op_rpt(pcb);
  OpPcb& op = op_pcb(pcb);
  int result = 2;
  if (!r) return result;
  if (!op_prt_buf(pcb, 1, 0)) os_sys_err_text(kMod, __LINE__, "rpt_end, page buf print failed");
  if (!r->page_ended) prt_pg_end(pcb);
  rm_use_heading(r, true);
  if (int end = frm_of_class(pcb, opfrm::kRptEnd)) {
    r->page_ended = 0;
    if (!rm_print(r, 0, -1)) os_sys_err_text(kMod, __LINE__, "rpt_end, print new page failed");
    run_frame(pcb, end);
    if (!rm_print(r, 1, 0)) os_sys_err_text(kMod, __LINE__, "rpt_end, page buf print failed");
  }
  if (r->np_end && !rm_print(r, 0, -1)) os_sys_err_text(kMod, __LINE__, "rpt_end, print new page failed");
  rm_use_heading(r, false);
  op.cur_buf = 0;
  if (!inquiry_mode(pcb)) return result;
  // An inquiry's report ends here: PRINT ON SCREEN when asked, the print
  // file handed on.
  progress_end(pcb);
  if (PdArea1* o = opts_of(pcb)) {
    ask_on_screen(pcb, o, &result);
    rm_opts(r).print.set(o->print.view());
  }
  return drop_report(pcb, r, result);
}

int op_run_0la(Pcb* pcb, const char* name, uint8_t type, uint8_t child_fail_mode) {
  PiInvoc v;
  std::memset(static_cast<void*>(&v), 0, sizeof v);
  v.app.set("0LA");
  v.ver.set("00");
  v.type = type;
  v.name.set(name);
  v.kind = 0;
  v.caller_mode = 1;
  v.child_fail_mode = child_fail_mode;
  v.query_app.clear();
  v.query_name.clear();
  v.reserved_text.clear();
  v.pcf_app.clear();
  v.reserved2 = 255;
  v.key_path = 255;
  v.query_reuse = 1;
  v.surface1 = pcb->surface1;
  v.surface2 = pcb->surface2;
  v.parent_pcb = Ref<void>::of(pcb);
  pi_exec(&v);
  return int(v.completion);
}

// "PRINT ON SCREEN" of "0LA" 00: an Input process the user leaves with
// ENTER (go on) or CANCEL (4: nothing is printed).
int op_print_on_screen(Pcb* pcb) { return op_run_0la(pcb, "PRINT ON SCREEN", 2, 1); }

// ---------------------------------------------------------- the loop --
void op_exec(Pcb* pcb) {
  EmHeader* em = pcb->module.get();
  if (!em || em->n_frames == 0) ut_unwind(1);
  OpPcb& op = op_pcb(pcb);
  Pcb* parent = parent_of(pcb);
  bool owner = !is_report_type(parent);
  bool first_run = true;
  if (owner) {
    rpt_start(pcb);
  } else {
    OpPcb& pop = op_pcb(parent);
    op.cur_buf = pop.cur_buf;
    if (pcb->report == parent->report && op.rpt_no == pop.rpt_no) {
      first_run = chk_rng(pcb) != 0;
    } else {
      op.gen_count = 0;
      pcb->report = parent->report;
      op.owner = pop.owner;
      op.rpt_no = pop.rpt_no;
      pcb->msg_file = parent->msg_file;
      cmpl_img(pcb);
      op.level = uint16_t(pop.level + 1);
      op_bld_sum(pcb);
    }
  }
  RmRpt* r = op_rpt(pcb);
  if (!r) sys_fail(__LINE__, "op_exec, no report");
  put_page(pcb, r);
  // A separate report process prints the owner's headings and footings.
  if (!owner && parent == op.owner.get() && parent->module && op_em_names_rpt(parent->module.get()) &&
      op_em_is_rpt_proc(parent->module.get(), em)) {
    if (r->status == kRmNewPage) run_frame(pcb, frm_of_class(pcb, opfrm::kPageHead));
    else if (r->status == kRmFooting) run_frame(pcb, frm_of_class(pcb, opfrm::kPageFoot));
    ut_unwind(2);
  }
  int detail = frm_of_class(pcb, opfrm::kDetail);
  bool pcf = fp_has_pcf(pcb);
  bool ranges = pcf && pcb->break_count > 0;
  op.cur_level = 0;
  // With ranges, what the query process left in the first four bytes of
  // its data area 17 comes into this process's, unless blank.
  if (PbInfo info; ranges && pb_get_info(pcb->pcf_stream.get(), &info) &&
                   !std::all_of(info.area17.begin(), info.area17.end(), [](uint8_t c) { return c == ' '; }))
    if (uint8_t* a17 = pi_area(pcb, 17, info.area17.size()))
      std::memcpy(a17, info.area17.data(), info.area17.size());
  if (pcf) op_rng_setup(pcb, first_run);
  auto* a3 = pi_area_rec<PdArea3>(pcb, 3);
  bool eof = false;
  for (int pass = 0;; ++pass) {
    ss_yield();
    // An interrupt (^C) ends the report from its second record on when the
    // process may be cancelled; an end signal ends it always.
    if (pass > 0 && (ss_stop_signal() || (ss_interrupted() && a3 && a3->cancel_ok == "1"))) ss_stop_unwind();
    if (pcf && !(inquiry_mode(pcb) && pass == 0)) {
      // The range ends and starts before this record, each at its level.
      OpRngPass rp;
      for (;;) {
        if (!pi_rdnxt(pcb, 0)) {
          eof = true;
          break;
        }
        FmArb* st = pcb->pcf_stream.get();
        uint32_t status = st ? uint32_t(st->status) : 0;
        if (!ranges || (status != 200620 && status != 200370)) break;
        op_rng_event(pcb, status, int(st->level), &rp);
      }
      if (eof) break;
    }
    op_rng_detail(pcb, detail);
    if (!pcf || inquiry_mode(pcb)) break;
  }
  if (pcf && !ranges) op_rng_eof(pcb);
  else if (!pcf) op_sum_roll(pcb);
  int result = owner ? rpt_end(pcb) : 2;
  ut_unwind(result == 0 ? 1 : result);
}

void op_auto(Pcb* pcb) {
  Pcb* parent = parent_of(pcb);
  if (!parent) sys_fail(__LINE__, "op_auto, null parent");
  OpPcb& op = op_pcb(pcb);
  OpPcb& pop = op_pcb(parent);
  // No recursion: the same process already among the parents.
  for (Pcb* p = parent; p; p = p == pop.owner.get() ? nullptr : parent_of(p)) {
    if (p->invoc.app == pcb->invoc.app.view() && p->invoc.ver == pcb->invoc.ver.view() &&
        p->invoc.type == pcb->invoc.type && p->invoc.name == pcb->invoc.name.view())
      return;
    if (p == pop.owner.get()) break;
  }
  if (pcb->report != parent->report || op.rpt_no != pop.rpt_no) op_forget_windows(pcb);
  pcb->report = parent->report;
  op.owner = pop.owner;
  op.rpt_no = pop.rpt_no;
  op.level = uint16_t(pop.level + 1);
}

int op_inquire(Pcb* pcb) {
  int frame = frm_of_class(pcb, opfrm::kInquiry);
  if (!frame) return 0;
  pcb->invoc.auto_mode = kAutoInquiry;
  auto* a3 = pi_area_rec<PdArea3>(pcb, 3);
  auto* a11 = pi_area_rec<PdArea11>(pcb, 11);
  EmHeader* em = pcb->module.get();
  auto failed = [&] {
    uint32_t st = pcb->pcf_stream ? uint32_t(pcb->pcf_stream->status) : 0;
    if (st == kOpEof) st = 300670;
    fp_msg(pcb, st ? st : 300670);
  };
  // A frame nobody keys in (not interactive) waits for no key: the inquiry
  // goes through the records one a pass and ends after the last, as an
  // Input process whose frames never wait does, rather than passing again
  // and again without a wait.
  const EmCfrm* fr = fp_frame(pcb, uint32_t(frame));
  const bool never_waits = fr && !fr->interactive;
  for (;;) {
    if (a11) {
      a11->phase = 6;
      a11->mode = 3;
    }
    if (a3) a3->alt_image = uint8_t(em->pcf_key + 1);
    int res = run_frame(pcb, frame);
    if (never_waits) {
      ss_yield();
      if (ss_stop_signal()) ss_stop_unwind();
    }
    bool next = never_waits;
    switch (res) {
      case kFpDone: case kFpScanChose: {
        if (a11) a11->phase = 0;
        uint16_t opt = (a3 && a3->exact_key[0] == '1') ? FM_OP_EQUAL : 0;
        if (!pi_read(pcb, opt)) {
          uint32_t st = pcb->pcf_stream ? uint32_t(pcb->pcf_stream->status) : 0;
          if (st != kOpEof) {
            failed();
            break;
          }
        }
        pcb->invoc.completion = mark(5, [&] { op_exec(pcb); });
        next = never_waits || (a3 && a3->auto_readnext[0] == '1');
        break;
      }
      case kFpNext:
        next = true;
        break;
      case kFpBack: case kFpAgain: case kFpAdd: case kFpDelete: case kFpInquire: case kFpChange:
      case kFpDelAck: case kFpScroll: case kFpSkipped:
        break;
      default:
        os_sys_err_text(kMod, __LINE__, "op_inquire() - unexpected case switch");
        break;
    }
    if (next && !pi_rdnxt(pcb, 0)) {
      if (never_waits) ut_unwind(2);
      failed();
    }
  }
}

int op_cleanup(Pcb* pcb) {
  progress_end(pcb);
  OpPcb& op = op_pcb(pcb);
  RmRpt* r = op_rpt(pcb);
  if (op.owner.get() != pcb || inquiry_mode(pcb) || !r) return 2;
  int code = pcb->invoc.completion;
  int result = 2;
  if (code == 4) fp_msg(pcb, 104250);
  // Messages still pending go into the report below the blank-line image
  // (each deleted as it is written), then the page buffer is printed.
  if (FmArb* m = pcb->msg_file.get(); m && code != int(kRmNoFile) && msg_line_cnt(m, r->width) > 0) {
    // They go on the page the report's end left open (the new page at the
    // end, when the form asks for one), not on a page of their own.
    op.cur_buf = 0;
    r->page_ended = 0;
    if (rm_exec_img(r, 1) && rm_write_img(r, 1, m, 0, nullptr)) op_prt_buf(pcb, 1, 0);
  }
  if (code != int(kRmNoFile)) {
    if (PdArea1* o = opts_of(pcb); o && o->on_screen[0] == '1') {
      ask_on_screen(pcb, o, &result);
      rm_opts(r).print.set(o->print.view());
    }
  }
  // A report whose print file was never created still has its block in the
  // registry and buffers in its pool: they go too (nothing is printed).
  return drop_report(pcb, r, result);
}

// -------------------------------------------------------- registration --
namespace {
OsInitFn g_prev_rm_init = nullptr;
void op_inquire_slot(Pcb* pcb) { op_inquire(pcb); }
}  // namespace

void op_exec_register() {
  g_prev_rm_init = os_get_init(OsInit::Rm);
  os_set_init(OsInit::Rm, [] {
    // The suite's engine scripting the executor doubles keeps them.
    const char* scripted = os_test_hook("QUVO_TEST_EXEC");
    if (!scripted || !*scripted) {
      proc_svc.op_exec = op_exec;
      proc_svc.op_auto = op_auto;
      proc_svc.op_inquire = op_inquire_slot;
      proc_svc.op_cleanup = op_cleanup;
    }
    return g_prev_rm_init ? g_prev_rm_init() : 1;
  });
}
