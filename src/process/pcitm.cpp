// The item compile: ITEM records into CITM records (the window item with
// its conversion, place, attributes and field), the characteristics of the
// items' cells, the generated range-check and total statements, and the
// look-ups that fill items from another file (TDLU while compiling, CDLU in
// the module). See pc.h.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <array>
#include <map>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "files/fmcat.h"
#include "foundation/os.h"
#include "foundation/pd.h"
#include "foundation/ut.h"
#include "process/pc.h"
#include "screen/wm.h"

namespace {

constexpr const char* kMod = "PCITM.C";
constexpr uint16_t kVerbIf = 38, kVerbAnd = 3, kVerbTotal = 78;
constexpr uint8_t kEpTotals = 45;

void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

bool is_date(int t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }
bool is_num(int t) { return t == 5 || t == 8 || t == 12; }
bool is_alpha(int t) { return t == 1 || t == 2 || t == 13; }

CvItem& cv_of(EmCitm& c) { return *reinterpret_cast<CvItem*>(reinterpret_cast<uint8_t*>(&c) + 12); }
const CvItem& cv_of(const EmCitm& c) {
  return *reinterpret_cast<const CvItem*>(reinterpret_cast<const uint8_t*>(&c) + 12);
}

struct Rect {
  int32_t row, col, rows, cols;
  int32_t last_row() const { return row + rows - 1; }
  int32_t last_col() const { return col + cols - 1; }
};
bool meet(const Rect& a, const Rect& b) {
  return a.row <= b.last_row() && b.row <= a.last_row() && a.col <= b.last_col() && b.col <= a.last_col();
}
Rect rect_of(const EmCchr& c) { return Rect{c.row, c.col, c.rows, c.cols}; }
// The parts of a outside b (at most four).
std::vector<Rect> minus(const Rect& a, const Rect& b) {
  std::vector<Rect> out;
  if (!meet(a, b)) {
    out.push_back(a);
    return out;
  }
  int32_t top = std::max(a.row, b.row), bottom = std::min(a.last_row(), b.last_row());
  if (a.row < b.row) out.push_back(Rect{a.row, a.col, b.row - a.row, a.cols});
  if (a.last_row() > b.last_row()) out.push_back(Rect{b.last_row() + 1, a.col, a.last_row() - b.last_row(), a.cols});
  if (a.col < b.col) out.push_back(Rect{top, a.col, bottom - top + 1, b.col - a.col});
  if (a.last_col() > b.last_col())
    out.push_back(Rect{top, b.last_col() + 1, bottom - top + 1, a.last_col() - b.last_col()});
  return out;
}
Rect common(const Rect& a, const Rect& b) {
  int32_t r = std::max(a.row, b.row), c = std::max(a.col, b.col);
  return Rect{r, c, std::min(a.last_row(), b.last_row()) - r + 1, std::min(a.last_col(), b.last_col()) - c + 1};
}
EmCchr with_rect(EmCchr c, const Rect& r) {
  c.row = r.row;
  c.col = r.col;
  c.rows = r.rows;
  c.cols = r.cols;
  return c;
}

bool write_chr(FmArb* cchr, const EmCchr& c) {
  PcBuf<EmCchr> b;
  *b = c;
  PROTO_FULL(cchr, 0, b.bytes());
  if (fm_write(cchr)) return true;
  checkstat(cchr->status, "subdiv_cchr() - cchr write failed", kMod, __LINE__);
  return false;
}

// The temporary statement file of the generated statements.
FmArb* stmt_file(int scope, const char* text) {
  static FmKdb* kdb = static_cast<FmKdb*>(arena::alloc_chunk(sizeof(FmKdb) * FM_CAT_KDB_AREA));
  static FmSdb* sdb = static_cast<FmSdb*>(arena::alloc_chunk(sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb fdb;
  INIT_DSTMT_FDB(&fdb, kdb, sdb, "0AD", "00");
  fdb.fclass = FM_CLASS_MEMORY;
  INIT_UNIQUE_PATH(&fdb, "PC", "ST", FM_PT_DATA);
  if (!FM_CREATE(&fdb, scope, 0, 0, 15, 15)) {
    checkstat(fdb.status, text, kMod, __LINE__);
    return nullptr;
  }
  return fdb.handle.get();
}

void empty_file(FmArb* f) {
  PcBuf<DStmt> b;
  PROTO_FULL(f, 0, b.bytes());
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = 0;
  std::vector<uint32_t> rids;
  while (fm_rdnxt(f)) rids.push_back(f->rid);
  for (uint32_t rid : rids) {
    PROTO_FULL(f, 0, b.bytes());
    f->rid = rid;
    f->op = FM_OP_RID | FM_OP_HOLD;
    if (!fm_read(f) || !fm_del(f)) checkstat(f->status, "couldn't empty statement file", kMod, __LINE__);
    f->op = 0;
  }
}

bool put_stmt(FmArb* f, const DStmt& s) {
  PcBuf<DStmt> b;
  *b = s;
  PROTO_FULL(f, 0, b.bytes());
  if (fm_write(f)) return true;
  checkstat(f->status, "Bad mem stmt write ", kMod, __LINE__);
  return false;
}

// The operand of a field (application, name, occurrence) in a generated
// statement.
void field_opnd(uint8_t* at, const rec::Text<3>& app, const rec::Text<22>& name, uint16_t occ) {
  rec::view<rec::U16>(at) = occ;
  at[2] = 0;
  at[3] = ' ';
  std::memcpy(at + 4, app.data(), 3);
  std::memcpy(at + 7, name.data(), 22);
  at[29] = ' ';
}

// A line per scannable token item in the file QUVO_TOKEN_ITEM_LOG names
// (opened once, as every log of the engine is).
void token_item_log(const EmCitm& c) {
  static FILE* log = os_open_log("QUVO_TOKEN_ITEM_LOG");
  if (!log) return;
  std::fprintf(log, "%3.3s - %22.22s\n", c.app.data(), c.field.data());
  std::fflush(log);
}

bool can_scan(const EmCitm& c, int lk_mode) {
  const CvItem& it = cv_of(c);
  if (is_alpha(it.type) && (it.flags & kCvTokens || it.token_mark)) {
    token_item_log(c);
    return true;
  }
  return lk_mode != 0;
}

// The compile of one process's items.
struct ItemCmpl {
  PcCtx* ctx = nullptr;
  EmHeader* em = nullptr;
  FmArb* citm = nullptr;
  FmArb* cchr = nullptr;
  FmArb* range = nullptr;   // generated range checks
  FmArb* totals = nullptr;  // generated totals
  uint16_t next_item = 0;
  // Total statements by image sequence, with the owner key of each image.
  std::map<uint32_t, std::vector<DStmt>> tot;
  std::map<uint32_t, std::vector<uint8_t>> tot_prefix;
  // The CITM key of each item written (by item number).
  std::map<uint16_t, std::array<uint32_t, 3>> keys;

  void err(const DItem& it, uint32_t msg, const char* name = nullptr, size_t len = 0) {
    pc_add_cmpl_err(ctx, kPcErrItem, &it, msg, name, len);
  }

  EmCitm* find_item(uint16_t no) {
    auto k = keys.find(no);
    if (k == keys.end()) return nullptr;
    PcBuf<EmCitm> b;
    b->wm.handle = k->second[0];
    b->wm.row = int32_t(k->second[1]);
    b->wm.col = int32_t(k->second[2]);
    PROTO_FULL(citm, 0, b.bytes());
    return reinterpret_cast<EmCitm*>(fm_read_fast(citm, 0));
  }

  // Whether the item's rectangle meets a compiled item of its image.
  bool overlaps_item(const EmCitm& c) {
    Rect me{c.wm.row, c.wm.col, c.last_row - c.wm.row + 1, c.last_col - c.wm.col + 1};
    PcBuf<EmCitm> k;
    k->wm.handle = c.wm.handle;
    int started = fm_start_at(citm, 0, k.bytes(), k.bytes(), 4);
    if (!started) return false;
    while (auto* r = reinterpret_cast<EmCitm*>(fm_rdnxt_fast(citm, 0))) {
      if (r->wm.handle != c.wm.handle) break;
      Rect o{r->wm.row, r->wm.col, r->last_row - r->wm.row + 1, r->last_col - r->wm.col + 1};
      if (meet(me, o)) return true;
    }
    return false;
  }

  void range_checks(const DItem& it, EmCitm& c, const CElem& ce, const EmCimg& im) {
    c.range_ep = 0xFFFFu;
    uint8_t prefix[44];
    pc_stmt_prefix(ctx, it.frame_code, it.frame_no, uint8_t(im.image_no), 0, 0, prefix);
    PcBuf<DStmt> st(sizeof(DStmt) * 5);
    int n = pc_range_stmts(prefix, c, ce.e, st.p);
    if (!n) return;
    if (!range) range = stmt_file(ctx->attach_level, "constraint file create fail");
    if (!range) return;
    for (int i = 0; i < n; ++i) put_stmt(range, st.p[i]);
    rec::U32 entry[1];
    if (!pc_owner_stmts(ctx, range, prefix, 44, uint16_t(im.seq), DSTMT_EP_CONSTRAINT, 1, entry))
      ctx->failed = true;
    else c.range_ep = entry[0];
    empty_file(range);
  }

  void total_stmt(const DItem& it, const EmCitm& c, const EmCimg& im) {
    uint8_t prefix[44];
    pc_stmt_prefix(ctx, it.frame_code, it.frame_no, uint8_t(im.image_no), 0, 0, prefix);
    auto& list = tot[im.seq];
    PcBuf<DStmt> s;
    pc_total_stmt(prefix, c, it.total, uint32_t(list.size() + 1), s.p);
    list.push_back(*s);
    tot_prefix[im.seq].assign(prefix, prefix + 44);
  }

  void compile_totals() {
    if (tot.empty()) return;
    totals = stmt_file(ctx->attach_level, "contraint dstmt file create fail");
    if (!totals) return;
    for (auto& [seq, list] : tot) {
      empty_file(totals);
      for (const DStmt& s : list) put_stmt(totals, s);
      rec::U32 entry[1];
      if (!pc_owner_stmts(ctx, totals, tot_prefix[seq].data(), 44, uint16_t(seq), kEpTotals, 1, entry)) {
        ctx->failed = true;
        continue;
      }
      PcBuf<EmCimg> k;
      k->seq = seq;
      FmArb* cimg = em->cimg.get();
      PROTO_FULL(cimg, 0, k.bytes());
      if (auto* r = reinterpret_cast<EmCimg*>(fm_read_fast(cimg, 0))) r->tot_ep = entry[0];
    }
  }

  // ------------------------------------------------------- look-ups --
  FmArb* tdlu() { return ctx->tdlu; }

  bool read_tdlu(uint32_t file_no, PcTdlu* out, bool hold) {
    FmArb* t = tdlu();
    if (!t) return false;
    out->file_no = file_no;
    PROTO_FULL(t, 0, reinterpret_cast<uint8_t*>(out));
    t->op = hold ? FM_OP_HOLD : 0;
    int got = fm_read(t);
    t->op = 0;
    if (!got && t->status != FM_ST_NO_RECORD) checkstat(t->status, "bad tdlu read", kMod, __LINE__);
    return got == 1;
  }

  // Writes the CDLU of an open look-up and drops its TDLU record; its last
  // item is marked the last key item.
  void finish_dlu(uint32_t file_no) {
    PcBuf<PcTdlu> t;
    if (!read_tdlu(file_no, t.p, true)) return;
    PcBuf<EmCfi> cf;
    cf->file_no = uint16_t(file_no);
    FmArb* cfi = em->cfi.get();
    PROTO_FULL(cfi, 1, cf.bytes());
    int got = fm_read(cfi);
    PcBuf<EmCdlu> d;
    d->number = t->number;
    d->key_no = t->key.e.key_no;
    d->flag130 = t->flag[1];
    d->first_item = t->first_item;
    d->display = t->display;
    d->b132 = t->b132;
    if (got) {
      d->ctl_ira = cf->ctl_ira;
      char app[4] = {};
      std::memcpy(app, cf->fdb.app.data(), 3);
      if (!t->flag[2]) d->area = pc_get_ira(ctx, app, cf->rec_area, 4, 0);
    }
    FmArb* cdlu = em->cdlu.get();
    PROTO_FULL(cdlu, 0, d.bytes());
    if (!fm_write(cdlu)) checkstat(cdlu->status, "bad cdlu write", kMod, __LINE__);
    if (EmCitm* last = find_item(uint16_t(t->last_item))) last->lk_last = 1;
    if (!fm_del(tdlu())) checkstat(tdlu()->status, "bad tdlu delete", kMod, __LINE__);
  }

  // The members of a group key field (its element records that follow it).
  std::vector<DElem> members(const char* app, const DElem& group) {
    std::vector<DElem> out;
    EmCap* cap = pc_ap(app, ctx);
    FmArb* el = cap ? pc_open_src(ctx, cap, kSrcElem) : nullptr;
    if (!el) return out;
    PcBuf<DElem> k;
    k->file = group.file;
    k->number = group.number;
    PROTO_FULL(el, 2, k.bytes());
    if (!fm_read(el)) return out;
    DElem& e = *k;
    while (fm_rdnxt(el) && e.file == group.file) {
      if (e.kind == 1 || e.kind == 5) out.push_back(e);
      if (std::memcmp(e.name.data(), group.domain.data(), 22) == 0) break;
    }
    return out;
  }

  void lookup(const DItem& it, EmCitm& c) {
    char lapp[4] = {}, lfile[9] = {};
    std::memcpy(lapp, it.lk_app.blank() ? it.app.data() : it.lk_app.data(), 3);
    std::memcpy(lfile, it.lk_file.data(), 8);
    EmCap* lcap = pc_ap(lapp, ctx);
    PcBuf<EmCfi> cfi;
    if (!lcap || !pc_fi(lcap, lfile, cfi.p, ctx)) {
      err(it, em->status, it.lk_file.data(), 8);
      return;
    }
    set_cfi_use(cfi.p);
    if (it.lk_mode == 1) {
      char key[23] = {};
      std::memcpy(key, it.lk_key.data(), 22);
      PcBuf<CElem> ke;
      if (!pc_fld(lapp, key, 1, ke.p, ctx) || ke->e.file != cfi->fdb.name || ke->e.key_kind == 255) {
        err(it, kPcLkNotKey, it.lk_key.data(), 22);
        return;
      }
      pc_scan(lcap, ctx, *cfi, 0);
      // A new look-up of this file: an open one ends first.
      PcBuf<PcTdlu> t;
      if (read_tdlu(cfi->file_no, t.p, false)) finish_dlu(cfi->file_no);
      std::memset(t.bytes(), 0, sizeof(PcTdlu));
      t->number = ++ctx->lookups;
      t->file_no = cfi->file_no;
      t->key = *ke;
      for (int i = 0; i < 3; ++i) t->flag[i] = it.lk_flag[i][0] == '1' ? 1 : 0;
      t->first_item = c.item_no;
      t->b132 = uint8_t(it.b132[0]);
      update_cfi_lookup(cfi.p, t->number);
      FmArb* tf = tdlu();
      PROTO_FULL(tf, 0, t.bytes());
      if (!fm_write(tf)) checkstat(tf->status, "bad tdlu write", kMod, __LINE__);
    }
    PcBuf<PcTdlu> t;
    if (!read_tdlu(cfi->file_no, t.p, true)) {
      err(it, kPcBadLookup, it.lk_file.data(), 8);
      return;
    }
    // The item is the next key part.
    const DElem& key = t->key.e;
    DElem part = key;
    bool group = key.kind == 2;
    if (group) {
      auto ms = members(lapp, key);
      if (t->next_part >= ms.size()) {
        err(it, kPcBadLookup, it.lk_file.data(), 8);
        return;
      }
      part = ms[t->next_part];
    }
    c.lk_no = t->number;
    if (t->flag[2]) {
      PcBuf<CElem> pe;
      char pname[23] = {};
      std::memcpy(pname, part.name.data(), 22);
      c.lk_ira = pc_fld(lapp, pname, 1, pe.p, ctx) ? uint32_t(pe->ira) : 0u;
    } else {
      c.lk_ira = pc_get_ira(ctx, lapp, part.area, 4, part.offset);
    }
    t->next_part = uint16_t(t->next_part + 1);
    t->covered = uint16_t(t->covered + part.length);
    t->last_item = c.item_no;
    if (t->display < c.disp) t->display = c.disp;
    FmArb* tf = tdlu();
    if (!fm_rewrite(tf)) checkstat(tf->status, "bad tdlu rewrite", kMod, __LINE__);
    pending_finish = !group || t->covered >= key.length ? cfi->file_no : 0u;
  }
  uint32_t pending_finish = 0;

  void set_cfi_use(EmCfi* c) {
    FmArb* f = em->cfi.get();
    PcBuf<EmCfi> r;
    r->fdb.app = c->fdb.app;
    r->fdb.name = c->fdb.name;
    PROTO_FULL(f, 0, r.bytes());
    f->op = FM_OP_HOLD;
    int got = fm_read(f);
    f->op = 0;
    if (!got) return;
    r->use = uint8_t(r->use | 1);
    fm_rewrite(f);
    *c = *r;
  }
  void update_cfi_lookup(EmCfi* c, uint16_t number) {
    FmArb* f = em->cfi.get();
    PcBuf<EmCfi> r;
    r->fdb.app = c->fdb.app;
    r->fdb.name = c->fdb.name;
    PROTO_FULL(f, 0, r.bytes());
    f->op = FM_OP_HOLD;
    int got = fm_read(f);
    f->op = 0;
    if (!got) return;
    r->lookup = number;
    fm_rewrite(f);
    *c = *r;
  }

  void finish_all() {
    FmArb* t = tdlu();
    if (!t) return;
    for (;;) {
      PcBuf<PcTdlu> r;
      PROTO_FULL(t, 0, r.bytes());
      t->op = FM_OP_FIRST;
      fm_start(t);
      t->op = 0;
      if (!fm_rdnxt(t)) break;
      finish_dlu(r->file_no);
    }
  }

  // ----------------------------------------------------------- items --
  void item(const DItem& it) {
    const int type = em->proc_type;
    uint16_t occ = it.occ ? uint16_t(it.occ) : uint16_t(1);
    uint8_t display = type == 3 ? 0 : it.display;
    EmCfrm* fr = pc_find_cfrm(ctx, it.frame_code, it.frame_no);
    EmCimg* imp = fr ? pc_find_cimg(ctx, fr, uint8_t(it.image_no.get())) : nullptr;
    if (!imp) return;
    PcBuf<EmCimg> imb;
    *imb = *imp;
    const EmCimg& im = *imb;
    int32_t row = int32_t(it.row.get()), col = int32_t(it.col.get());
    if (row > im.rows || col > im.cols) return;
    char app[4] = {}, fld[23] = {};
    std::memcpy(app, it.app.data(), 3);
    std::memcpy(fld, it.field.data(), 22);
    PcBuf<CElem> ceb;
    CElem& ce = *ceb;
    if (!pc_fld(app, fld, occ, &ce, ctx)) {
      if (em->status == kPcNoApp && std::memcmp(app, em->app.data(), 3) != 0) return;
      err(it, em->status, it.field.data(), 22);
      return;
    }
    PcBuf<EmCitm> cb;
    EmCitm& c = *cb;
    // Totals.
    uint32_t total_ira = 0;
    bool summary = fr->code == 2 && it.use == 4;
    bool total = fr->code == 0 && it.total != 0;
    if (summary || total) {
      PcBuf<CElem> te;
      if (pc_fld(app, fld, 1, te.p, ctx)) {
        total_ira = summary ? pc_sum_ref(app, te.p, occ, 2, ctx) : uint32_t(te->ira);
      }
    }
    // The conversion.
    CvItem& cv = cv_of(c);
    char ver[3] = {};
    std::memcpy(ver, ctx->ver, 2);
    CvSitm sitm{it.mask.blank() ? nullptr : it.mask.data(), 0};
    if (!cv_bld_sitm(&cv, &ce, &sitm, app, ver)) {
      err(it, cv.msg ? uint32_t(cv.msg) : 200100u, it.field.data(), 22);
      return;
    }
    cv.area_ira = pc_get_ira(ctx, app, ce.e.area, 0, 0);
    cv.sub_ira = ce.ira;
    cv.reference = ce.source == 1 ? uint32_t(ce.reference) | uint32_t(ce.field_offset) << 16 : uint32_t(ce.reference);
    cv.summary = summary ? 0 : 1;
    cv.one = 1;
    cv.source = ce.source;
    cv.dspl_mode = 0;
    bool xlate = (ce.e.b591 == '1') && ((ce.source == 2 && ce.e.type == 1) ||
                                         ((ce.e.type == 1 || ce.e.type == 5) && ce.e.token_mark));
    if (xlate) {
      int mode = ce.source == 2 && ce.e.type == 1 ? 1 : 2;
      cv.kind = 1;
      cv_set_xlate(&cv, ctx->dict_lang, app, ver, ce.e.domain.data(), mode);
    }
    PcBuf<CvBlock> blk;
    // A value wider than the image takes further rows (it must then begin
    // in the image's first column to fit).
    CvBounds bounds{im.rows, im.cols};
    if (!cv_cmpl(blk.p, &cv, &bounds, ctx->pool)) {
      err(it, uint32_t(cv.msg), it.field.data(), 22);
      return;
    }
    c.wm.handle = im.seq;
    c.wm.row = row;
    c.wm.col = col;
    c.wm.value.reset();
    c.wm.text.reset();
    c.wm.needs_cnv = 1;
    c.wm.b224 = it.b201;
    c.wm.total_ira = total_ira;
    c.wm.sum_occ = summary ? uint32_t(occ) : 0u;
    int32_t rows = c.wm.rows ? c.wm.rows.get() : 1;
    int32_t cols = c.wm.cols ? c.wm.cols.get() : int32_t(c.wm.text_len);
    if (cols < 1) cols = 1;
    c.last_row = row + rows - 1;
    c.last_col = col + cols - 1;
    c.app = it.app;
    c.field = it.field;
    c.occ = occ;
    c.disp = display;
    // Place: inside the image, on no other item and on blank cells only.
    if (row < 1 || col < 1 || c.last_row > im.rows || c.last_col > im.cols) {
      err(it, kPcItemOutside, it.field.data(), 22);
      return;
    }
    bool covered = overlaps_item(c);
    if (const char* text = im.text.get())
      for (int32_t r = row; r <= c.last_row && !covered; ++r)
        for (int32_t k = col; k <= c.last_col; ++k)
          if (text[size_t(r - 1) * size_t(im.cols) + size_t(k - 1)] != ' ') covered = true;
    if (covered) {
      err(it, kPcItemOverlap, it.field.data(), 22);
      return;
    }
    c.item_no = uint16_t(next_item + 1);
    // Attributes.
    uint32_t attr = 0, mask = wa::kInputExtra;
    char input = it.input[0];
    if (ce.e.usage == 1) input = '0';
    switch (input) {
      case '0': attr |= wa::kInput; mask |= wa::kInput; break;
      case '1': attr |= wa::kInput | wa::kInput2; mask |= wa::kInput | wa::kInput2; break;
      case ' ': mask |= wa::kInput2; break;
      default:
        sys_err(__LINE__, "pc_itm() - unexpected case switch");
        return;
    }
    struct Flag {
      int i;
      uint32_t bits;
    };
    for (Flag f : {Flag{0, wa::kTarget1}, Flag{2, wa::kBright}, Flag{3, wa::kInverse}, Flag{1, wa::kUnderline},
                   Flag{4, wa::kHidden | wa::kHidden2}})
      if (it.dflag[f.i][0] == '1') {
        attr |= f.bits;
        mask |= f.bits;
      }
    const bool pcf_field = ce.source == 1 && em->pcf_file && ce.reference == em->pcf_file;
    if (can_scan(c, it.lk_mode)) mask |= 0x80000u;
    if (type == 3 && !pcf_field && it.lk_mode == 0) {
      attr |= wa::kHidden;
      mask |= wa::kHidden;
    }
    if (ce.e.entry_flag == '0' || ce.e.type == 11) {
      attr |= wa::kUpper;
      mask |= wa::kUpper;
    }
    c.attr = attr;
    c.attr_mask = mask;
    c.colour = pc_colour(it.colour);
    c.flag = it.flag57[0] == '1' || (is_num(ce.e.type) && ce.e.initial.blank()) ? 1 : 0;
    c.flag58 = it.flag58[0] == '1' ? 1 : 0;
    c.use = pcf_field && it.lk_mode == 0 ? 1 : it.use;
    c.flag60 = it.flag60[0] == '1' ? 1 : 0;
    c.sub_ira = ce.ira;
    c.area = ce.e.area;
    c.offset = ce.field_offset;
    c.pcf_fld = pcf_field ? uint16_t(ce.e.field_no) : uint16_t(0);
    c.elem580[0] = ce.e.case_code;
    c.elem580[1] = ce.e.b581;
    c.use2 = it.use;
    c.total[0] = it.total;
    c.total[1] = it.b203;
    c.input = input == '0' || input == '1' ? 1 : 0;
    const rec::Text<4>* codes[3] = {&ce.e.code1, &ce.e.code2, &ce.e.code3};
    for (int i = 0; i < 3; ++i) {
      char code[5] = {};
      std::memcpy(code, codes[i]->data(), 4);
      c.secr[i] = uint32_t(ut_xlate_secr(code));
    }
    c.text1.clear();
    c.text2.clear();
    if (it.dflag[4][0] != '1') {
      c.text1 = ce.e.heading1;
      c.text2 = ce.e.heading2;
    }
    c.pcf_key = pcf_field && it.pcf_key[0] == '1' ? 1u : 0u;
    range_checks(it, c, ce, im);
    if (total) {
      total_stmt(it, c, im);
      if (EmCimg* r = pc_find_cimg(ctx, fr, uint8_t(im.image_no))) r->totals = 1;
      em->b1220[0] = 1;
    }
    // The cells' attributes.
    if (!pc_itm_chr(c, cchr, 0, attr, mask, attr, mask)) {
      err(it, kPcItemOverlap, it.field.data(), 22);
      return;
    }
    // Look-up display items: their file's look-up number.
    if (it.use == 2 || it.use == 3) {
      char fname[9] = {};
      std::memcpy(fname, ce.e.file.data(), 8);
      PcBuf<EmCfi> f;
      EmCap* cap = pc_ap(app, ctx);
      if (!cap || !pc_fi(cap, fname, f.p, ctx)) {
        err(it, em->status, ce.e.file.data(), 8);
        return;
      }
      if (!f->lookup) {
        err(it, kPcBadLookup, ce.e.file.data(), 8);
        return;
      }
      c.lk_file_no = f->lookup;
      c.use = it.use;
    }
    ++next_item;
    pending_finish = 0;
    if (it.lk_mode != 0) lookup(it, c);
    // PCF key items: the header's key item.
    if (c.pcf_key) {
      bool found = false;
      if (FmArb* pk = em->pk.get()) {
        PcBuf<EmPk> p;
        PROTO_FULL(pk, 0, p.bytes());
        pk->op = FM_OP_FIRST;
        fm_start(pk);
        pk->op = 0;
        while (fm_rdnxt(pk))
          if (p->field == ce.e.field_no) {
            found = true;
            PcKeyItem& k = pc_pcf_cmpl(em).key_item;
            k.key_no = uint8_t(p->key_no);
            k.type = ce.e.type;
            k.offset = ce.field_offset;
            k.length = ce.e.length;
            k.digits = ce.e.digits;
            k.decimals = ce.e.decimals;
            std::memset(k.init.b, 0, sizeof k.init.b);
            k.init_len = 0;
            if (ce.e.type == 5) {
              std::memcpy(k.init.b, &it.init_key, 4);
              k.init_len = 4;
            } else if (ce.e.type == 8 || ce.e.type == 12) {
              pd_cvp(k.init.b, 8, int32_t(it.init_key.get()));
              k.init_len = 8;
            }
            break;
          }
      }
      if (!found) err(it, kPcKeyItem, it.field.data(), 22);
    }
    PROTO_FULL(citm, 0, cb.bytes());
    if (!fm_write(citm)) {
      checkstat(citm->status, "cmpl_itm - em_citm write failed", kMod, __LINE__);
      return;
    }
    em->n_items = next_item;
    keys[c.item_no] = {uint32_t(c.wm.handle), uint32_t(row), uint32_t(col)};
    if (EmCimg* r = pc_find_cimg(ctx, fr, uint8_t(im.image_no))) {
      if (r->display < display) r->display = display;
      if (r->first_item == 0) r->first_item = c.item_no;
      r->last_item = c.item_no;
    }
    if (pending_finish) finish_dlu(pending_finish);
  }
};

}  // namespace

// ------------------------------------------------------- characteristics --
int subdiv_cchr(const EmCchr& piece, FmArb* cchr, uint32_t mask) {
  Rect p = rect_of(piece);
  PcBuf<EmCchr> k;
  k->handle = piece.handle;
  int started = fm_start_at(cchr, 0, k.bytes(), k.bytes(), 4);
  EmCchr old{};
  uint32_t old_rid = 0;
  if (started) {
    while (fm_rdnxt(cchr)) {
      const EmCchr& r = *k;
      if (r.handle != piece.handle || r.row > p.last_row()) break;
      if (r.attr & wa::kBox) continue;
      if (!meet(rect_of(r), p)) continue;
      old = r;
      old_rid = cchr->rid;
      break;
    }
  }
  if (!old_rid) return write_chr(cchr, piece) ? 1 : 0;
  if (old.item_row || old.item_col) return 0;
  PROTO_FULL(cchr, 0, k.bytes());
  cchr->rid = old_rid;
  cchr->op = FM_OP_RID | FM_OP_HOLD;
  int got = fm_read(cchr);
  cchr->op = 0;
  if (!got || !fm_del(cchr)) {
    checkstat(cchr->status, "subdiv_cchr() - cchr delete failed", kMod, __LINE__);
    return 0;
  }
  Rect o = rect_of(old);
  for (const Rect& part : minus(o, p))
    if (!write_chr(cchr, with_rect(old, part))) return 0;
  EmCchr both = with_rect(old, common(o, p));
  both.attr = (uint32_t(old.attr) & ~mask) | (uint32_t(piece.attr) & mask);
  if (piece.colour) both.colour = piece.colour;
  both.item_row = piece.item_row;
  both.item_col = piece.item_col;
  if (!write_chr(cchr, both)) return 0;
  for (const Rect& part : minus(p, o))
    if (!subdiv_cchr(with_rect(piece, part), cchr, mask)) return 0;
  return 1;
}

int pc_itm_chr(const EmCitm& item, FmArb* cchr, uint32_t region, uint32_t lit_attr, uint32_t lit_mask,
               uint32_t data_attr, uint32_t data_mask) {
  const CvItem& cv = cv_of(item);
  EmCchr base{};
  base.handle = item.wm.handle;
  base.colour = item.colour;
  base.item_row = item.wm.row;
  base.item_col = item.wm.col;
  int32_t row = item.wm.row, col = item.wm.col;
  int32_t rows = item.last_row - row + 1, cols = item.last_col - col + 1;
  struct Piece {
    Rect r;
    bool lit;
  };
  std::vector<Piece> pieces;
  int type = cv.type;
  bool masked = !cv.mask.blank();
  if (is_alpha(type) && masked) {
    int32_t first = std::min(cols, 60);
    int32_t at = 0;
    while (at < first) {
      bool lit = cv.mask[size_t(at)] == '*';
      int32_t end = at;
      while (end < first && (cv.mask[size_t(end)] == '*') == lit) ++end;
      pieces.push_back({Rect{row, col + at, 1, end - at}, lit});
      at = end;
    }
    if (cols > 60) pieces.push_back({Rect{row, col + 60, 1, cols - 60}, false});
    if (rows > 1) pieces.push_back({Rect{row + 1, col, rows - 1, cols}, false});
  } else if (is_date(type) && masked) {
    PcBuf<CvBlock> blk;
    PcBuf<CvItem> copy;
    *copy = cv;
    if (!cv_cmpl(blk.p, copy.p, nullptr, 0)) {
      pieces.push_back({Rect{row, col, rows, cols}, false});
    } else {
      int remaining = blk->date_mask_len;
      CvChunk ch;
      int32_t at = 0;
      while (at < cols && cv_get_chunk(blk.p, &remaining, 1, &ch)) {
        bool lit;
        if (std::strchr("12345678AJMm", ch.kind)) lit = false;
        else if (std::strchr("DLSd", ch.kind)) lit = true;
        else {
          os_sys_err_text(kMod, __LINE__, "pc_itm() - bad chunk type");
          return 0;
        }
        int32_t w = std::min(ch.width, cols - at);
        if (w > 0) pieces.push_back({Rect{row, col + at, 1, w}, lit});
        at += ch.width;
      }
      if (at < cols) pieces.push_back({Rect{row, col + at, 1, cols - at}, false});
    }
  } else {
    pieces.push_back({Rect{row, col, rows, cols}, false});
  }
  for (const Piece& pc : pieces) {
    EmCchr c = with_rect(base, pc.r);
    uint32_t m;
    if (pc.lit) {
      uint32_t drop = is_alpha(type) ? 0x304Fu : 0x300Fu;
      c.attr = lit_attr & ~drop;
      m = is_alpha(type) ? (lit_mask | wa::kBright) : lit_mask;
    } else {
      c.attr = data_attr;
      m = data_mask;
    }
    if (cchr) {
      if (!subdiv_cchr(c, cchr, m)) return 0;
    } else if (region) {
      wm_upd_chr(region, &c, m);
    }
  }
  return 1;
}

// ------------------------------------------------- generated statements --
namespace {
// A generated statement of an owner: blank, its key, no stamps.
void gen_stmt(const uint8_t* prefix, uint8_t ep, uint32_t seq, uint16_t verb, DStmt* s) {
  std::memset(static_cast<void*>(s), ' ', sizeof *s);
  std::memcpy(reinterpret_cast<uint8_t*>(s), prefix, 44);
  s->event_point = ep;
  s->seq = seq;
  std::memset(s->b52.b, 0, 4);
  std::memset(s->added.b, 0, 8);
  std::memset(s->changed.b, 0, 8);
  s->verb = verb;
  std::memset(s->b86.b, 0, 2);
}
}  // namespace

int pc_range_stmts(const uint8_t* prefix, const EmCitm& item, const DElem& e, DStmt* out) {
  struct Limit {
    uint8_t code;
    const char* text;
  };
  static const char kZeroDate[31] = "0000000000000000              ";
  Limit limits[5] = {{e.rng_code1, e.rng_value1.data()},
                     {e.rng_code2, e.rng_value2.data()},
                     {e.low_given, e.low.data()},
                     {e.high_given, e.high.data()},
                     {is_date(e.type) ? uint8_t(6) : uint8_t(255), kZeroDate}};
  int n = 0;
  for (const Limit& l : limits) {
    if (l.code == 255 || ut_is_all(l.text, ' ', 30)) continue;
    DStmt& s = out[n];
    gen_stmt(prefix, DSTMT_EP_CONSTRAINT, uint32_t(n + 1), n == 0 ? kVerbIf : kVerbAnd, &s);
    uint8_t* ops = s.ops.b;
    field_opnd(ops, item.app, item.field, item.occ);
    rec::view<rec::U16>(ops + 30) = 1;
    ops[32] = 0;
    std::memcpy(ops + 37, l.text, 22);
    ops[60] = l.code;
    ++n;
  }
  return n;
}

void pc_total_stmt(const uint8_t* prefix, const EmCitm& item, uint8_t mode, uint32_t seq, DStmt* out) {
  gen_stmt(prefix, kEpTotals, seq, kVerbTotal, out);
  uint8_t* ops = out->ops.b;
  field_opnd(ops, item.app, item.field, item.occ);
  field_opnd(ops + 30, item.app, item.field, item.occ);
  ops[60] = mode == 1 ? '+' : 'P';
}

// ------------------------------------------------------------- pc_itm --
void pc_itm(PcCtx* ctx) {
  EmHeader* em = ctx->em;
  ItemCmpl ic;
  ic.ctx = ctx;
  ic.em = em;
  ic.citm = em->citm.get();
  ic.cchr = em->cchr.get();
  if (!ic.citm || !ic.cchr) return;
  for (const auto& raw : pc_src_records(ctx, kSrcItem, sizeof(DItem))) {
    PcBuf<DItem> ib;
    std::memset(ib.bytes(), ' ', sizeof(DItem));
    std::memcpy(ib.bytes(), raw.data(), std::min(raw.size(), sizeof(DItem)));
    ic.item(*ib);
  }
  ic.finish_all();
  ic.compile_totals();
  for (FmArb* f : {ic.range, ic.totals})
    if (f && !FM_CLOSE(f, FM_CL_SCRATCH)) checkstat(f->status, "couldn't scratch statement file", kMod, __LINE__);
}
