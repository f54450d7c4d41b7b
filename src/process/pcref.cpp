// Compiled references: applications (CAP), files (CFI with KDB and SDB),
// fields (the compiled element), work fields (CFLD), constants, data areas
// (LF and the IRA) and summary references. See pc.h.

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <vector>
#include <string>

#include "files/fmcat.h"
#include "files/fmkept.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pc.h"
#include "process/pigetd.h"
#include "process/plint.h"

namespace {

constexpr const char* kMod = "PC.C";

void sys_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
}

// The area entry of an application's area reference (class x 1,000,000 +
// number), all else zero; false with the system error zero_text for area
// number 0.
bool area_entry(const char* app, uint32_t ref, const char* zero_text, EmAreaEntry* out) {
  std::memset(static_cast<void*>(out), 0, sizeof *out);
  out->aclass = uint8_t(ref / 1000000);
  std::memcpy(out->app.data(), app, 3);
  out->number = ref % 1000000;
  if (out->number == 0) {
    sys_err(__LINE__, zero_text);
    return false;
  }
  return true;
}

struct Areas {
  FmKdb kdb[FM_CAT_KDB_AREA];
  FmSdb sdb[FM_CAT_SDB_AREA];
};
Areas* areas() {
  static Areas* a = static_cast<Areas*>(arena::alloc_chunk(sizeof(Areas)));
  return a;
}

bool is_sys_app(const char* app) { return app[0] == '0'; }

// A sharing code kept as a digit character or as its number.
int code_of(uint8_t c) { return c >= '0' && c <= '3' ? c - '0' : c; }

FmArb* src_of(const EmCap* cap, int slot) { return static_cast<FmArb*>(arena::at(cap->src[slot])); }

// The ELEMENT handle's database id, blank for the time of pc_fi and put back
// on every exit.
struct DbIdBlank {
  char saved[3];
  rec::Text<3>* db = nullptr;
  explicit DbIdBlank(FmArb* a) {
    if (!a) return;
    db = &a->file.get()->fdb.db;
    std::memcpy(saved, db->data(), 3);
    db->clear();
  }
  ~DbIdBlank() {
    if (db) std::memcpy(db->data(), saved, 3);
  }
};

// Reads the FILE record `file` names from the application's FILE dictionary
// and opens its ELEMENT dictionary: that, or null with the status set when
// a dictionary does not open or the file is not there.
FmArb* file_and_elems(PcCtx* ctx, EmCap* cap, DFile* file) {
  EmHeader* em = ctx->em;
  FmArb* fi = pc_open_src(ctx, cap, kSrcFile);
  if (!fi) {
    em->status = kPcNoFileFile;
    return nullptr;
  }
  PROTO_FULL(fi, 0, reinterpret_cast<uint8_t*>(file));
  if (!fm_read(fi)) {
    em->status = kPcNoFile;
    return nullptr;
  }
  FmArb* el = pc_open_src(ctx, cap, kSrcElem);
  if (!el) em->status = kPcNoElemFile;
  return el;
}

}  // namespace

// ------------------------------------------------------------ pc_ap --
namespace {
EmCap* ap_find(const char* app, PcCtx* ctx);
}  // namespace

EmCap* pc_ap(const char* app, PcCtx* ctx) {
  if (!app) {
    sys_err(__LINE__, "pc_ap - got a NULL ap_id");
    return nullptr;
  }
  for (int i = 0; i < ctx->ap_seen_n; ++i)
    if (std::memcmp(ctx->ap_seen[i].app, app, 3) == 0) return ctx->ap_seen[i].cap;
  EmCap* r = ap_find(app, ctx);
  if (r && ctx->ap_seen_n < int(std::size(ctx->ap_seen))) {
    std::memcpy(ctx->ap_seen[ctx->ap_seen_n].app, app, 3);
    ctx->ap_seen[ctx->ap_seen_n++].cap = r;
  }
  return r;
}

namespace {
EmCap* ap_find(const char* app, PcCtx* ctx) {
  EmHeader* em = ctx->em;
  FmArb* f = em->cap.get();
  PcBuf<EmCap> key_buf;
  EmCap* k = key_buf.p;
  std::memcpy(k->app.data(), app, 3);
  const char* ver = is_sys_app(app) ? "00" : ctx->ver;
  // The CAP is used in place (the memory file's own record): the compile
  // keeps its source handles there.
  PROTO_FULL(f, 0, key_buf.bytes());
  auto* r = reinterpret_cast<EmCap*>(fm_read_fast(f, 0));
  const DAppl* ap = nullptr;
  if (r) {
    if (rec::view<rec::I32>(r->stamp.b).get() != -1) return r;
  } else {
    std::memcpy(k->ver.data(), ver, 2);
    ap = pi_get_dap(app, ver);
    if (ap) std::memcpy(k->stamp.b, ap->stamp.b, 8);
    else std::memset(k->stamp.b, 0xFF, 8);
    PROTO_FULL(f, 0, key_buf.bytes());
    if (!fm_write(f)) {
      checkstat(f->status, "em_cap write failed", kMod, __LINE__);
      return nullptr;
    }
    PROTO_FULL(f, 0, key_buf.bytes());
    r = reinterpret_cast<EmCap*>(fm_read_fast(f, 0));
    if (!r) {
      checkstat(f->status, "can't re-read cap record", kMod, __LINE__);
      return nullptr;
    }
    if (ap) return r;
  }
  if (is_sys_app(app)) return r;
  em->status = kPcNoApp;
  return nullptr;
}
}  // namespace

namespace {

// Dictionary sources stay open in the base scope from one compile to the
// next (as the loader's PROCESS files do): an open costs far more than a
// compile of a small process. They are kept handles (files/fmkept.h): an
// entry is taken again only while its file is the one it opened, so that
// another engine may scratch a dictionary file and make it anew meanwhile;
// the look before the next compile finds the new file.
struct SrcOpen {
  char app[3], ver[2], from[3], to[3];
  int slot;
  FmKept kept;
  FmArb* loose = nullptr;  // a handle that could not be kept: closed at its next look-up
};
std::vector<SrcOpen>& src_opens() {
  static std::vector<SrcOpen> v;
  return v;
}

}  // namespace

void pc_src_forget(bool close) {
  if (close) {
    for (SrcOpen& o : src_opens()) {
      fm_kept_close(&o.kept);
      if (o.loose && fm_is_handle(o.loose)) FM_CLOSE(o.loose, 0);
    }
    pi_getters_reset();   // and the PARAM files the getter keeps open
  }
  src_opens().clear();
}

namespace {

// The kept handle of a dictionary source (opened when there is none or its
// file was replaced); the CAP's slot is left alone.
FmArb* open_kept(PcCtx* ctx, EmCap* cap, int slot) {
  using Fill = void (*)(FmFdb*, FmKdb*, FmSdb*, const char*, const char*);
  static const Fill fills[kSrcCount] = {INIT_DPROC_FDB, INIT_DROW_FDB, INIT_DCHLD_FDB, INIT_DSLCT_FDB,
                                        INIT_DSORT_FDB, INIT_DELEM_FDB, INIT_DFI_FDB,  INIT_DITM_FDB,
                                        INIT_DSTMT_FDB, INIT_DCHR_FDB,  nullptr,       INIT_DIMG_FDB,
                                        INIT_DFRM_FDB};
  if (!fills[slot]) return nullptr;
  auto& opens = src_opens();
  // (Every compile follows the loader's read of the process's definition,
  // which begins the round of looks the sources are taken in: read_dproc.)
  for (size_t i = 0; i < opens.size(); ++i) {
    SrcOpen& o = opens[i];
    if (o.slot != slot || std::memcmp(o.app, cap->app.data(), 3) || std::memcmp(o.ver, cap->ver.data(), 2) ||
        std::memcmp(o.from, ctx->dict_lang, 3) || std::memcmp(o.to, ctx->lang, 3))
      continue;
    if (!o.loose && fm_kept_fresh(&o.kept)) return o.kept.h;
    fm_kept_close(&o.kept);
    if (o.loose && fm_is_handle(o.loose)) FM_CLOSE(o.loose, 0);
    opens.erase(opens.begin() + long(i));
    break;
  }
  Areas* a = areas();
  FmFdb fdb;
  char app[4] = {}, ver[3] = {};
  std::memcpy(app, cap->app.data(), 3);
  std::memcpy(ver, cap->ver.data(), 2);
  int opened = fm_open_dict(&fdb, fills[slot], a->kdb, a->sdb, app, ver, com.base_scope);
  if (!opened) {
    if (fdb.status != FM_ST_NOT_FOUND && fdb.status != FM_ST_NO_SYSDIR)
      pc_add_cmpl_err(ctx, kPcErrProc, &ctx->def, fdb.status, fdb.name.data(), 8);
    ctx->em->status = kPcNoFile;
    return nullptr;
  }
  FmArb* h = fdb.handle.get();
  // Kept between compiles without holding the file open against another
  // engine's scratch: the entry is looked at again before its next use.
  SrcOpen o;
  bool kept = fm_kept_take(&o.kept, h);
  char from[4] = {}, to[4] = {};
  std::memcpy(from, ctx->dict_lang, 3);
  std::memcpy(to, ctx->lang, 3);
  fm_set_lang(h, from, to);
  std::memcpy(o.app, app, 3);
  std::memcpy(o.ver, ver, 2);
  std::memcpy(o.from, ctx->dict_lang, 3);
  std::memcpy(o.to, ctx->lang, 3);
  o.slot = slot;
  if (!kept) o.loose = h;
  opens.push_back(o);
  return h;
}

// The check's STMT file when it holds the statements of the process
// compiled and the CAP is of its application.
FmArb* own_checked(PcCtx* ctx, const EmCap* cap) {
  const EmHeader* em = ctx->em;
  if (std::memcmp(cap->app.data(), em->app.data(), 3) != 0) return nullptr;
  return pc_stmt_source(cap->app.data(), em->proc_type, em->proc_name.data());
}

}  // namespace

FmArb* pc_open_src(PcCtx* ctx, EmCap* cap, int slot) {
  if (cap->src[slot]) return src_of(cap, slot);
  // The statements of the process compiled: a check's, or the dictionary's.
  FmArb* h = slot == kSrcStmt ? own_checked(ctx, cap) : nullptr;
  if (!h) h = open_kept(ctx, cap, slot);
  if (h) cap->src[slot] = arena::offset_of(h);
  return h;
}

FmArb* pc_stmt_file(PcCtx* ctx, EmCap* cap, uint8_t type, const char* name) {
  if (FmArb* checked = pc_stmt_source(cap->app.data(), type, name)) return checked;
  // The CAP's slot holds the dictionary's file unless it holds a check's.
  if (cap->src[kSrcStmt]) {
    FmArb* h = src_of(cap, kSrcStmt);
    if (!own_checked(ctx, cap)) return h;
  }
  return open_kept(ctx, cap, kSrcStmt);
}

// ---------------------------------------------------------- constants --
uint32_t pc_put_cnst(EmHeader* em, const void* value, uint16_t len, int in_com) {
  if (in_com) return uint32_t(static_cast<const uint8_t*>(value) - reinterpret_cast<const uint8_t*>(&com)) + 65000;
  FmArb* f = em->cnst.get();
  // A value already in the arena (a conversion's result) is written from
  // where it lies; any other is copied there first.
  auto put = [&](const uint8_t* rec) {
    PROTO_FULL(f, 0, const_cast<uint8_t*>(rec));
    f->rec_len = uint16_t(len ? len : 1);
    int ok = fm_write(f);
    f->rec_len = 0;
    if (!ok) sys_err(__LINE__, "pc_put_cnst() - cnst file write");
    return ok ? uint32_t(f->rid) : 0u;
  };
  const uint8_t* v = static_cast<const uint8_t*>(value);
  if (len && arena::contains(v)) return put(v);
  PcBuf<uint8_t> buf(len ? len : 1);
  if (len) std::memcpy(buf.bytes(), value, len);
  return put(buf.bytes());
}

// -------------------------------------------------------------- areas --
uint32_t add_dlf(PcCtx* ctx, EmAreaEntry* entry) {
  FmArb* lf = ctx->lf;
  PcBuf<EmAreaEntry> r_buf;
  EmAreaEntry& r = *r_buf;
  r = *entry;
  PROTO_FULL(lf, 0, reinterpret_cast<uint8_t*>(&r));
  if (fm_read(lf)) {
    // Work fields that share an area number all start at its offset 0: the
    // whole area is as long as the longest of them (with its occurrences),
    // whichever the process names first, or the others run past its end.
    if (entry->source == 2 && r.sub == 0 && r.size < entry->size) {
      lf->op = FM_OP_HOLD;
      bool held = fm_read(lf);
      lf->op = 0;
      r.size = entry->size;
      if (!held || !fm_rewrite(lf)) {
        checkstat(lf->status, "bad dlf rewrite", kMod, __LINE__);
        return 0;
      }
    }
    return r.index;
  }
  EmHeader* em = ctx->em;
  em->n_areas = em->n_areas + 1;
  entry->index = em->n_areas;
  r = *entry;
  PROTO_FULL(lf, 0, reinterpret_cast<uint8_t*>(&r));
  if (!fm_write(lf)) {
    checkstat(lf->status, "bad dlf write", kMod, __LINE__);
    return 0;
  }
  // The CAP of the entry's application keeps, per area class, its highest
  // area number (changed in place: the compile holds the record).
  FmArb* capf = em->cap.get();
  PcBuf<EmCap> c_buf;
  std::memcpy(c_buf->app.data(), entry->app.data(), 3);
  PROTO_FULL(capf, 0, c_buf.bytes());
  if (auto* c = reinterpret_cast<EmCap*>(fm_read_fast(capf, 0))) {
    int cls = entry->aclass;
    if (cls < 13 && c->hi_area[cls] < entry->number) c->hi_area[cls] = entry->number;
  }
  return entry->index;
}

uint32_t pc_get_ira(PcCtx* ctx, const char* app, uint32_t area_id, int kind, uint32_t offset) {
  uint32_t cls = area_id / 1000000, num = area_id % 1000000;
  if (num == 0) {
    sys_err(__LINE__, "pc_get_ira() - zero ano found");
    return 0;
  }
  EmAreaEntry e;
  std::memset(static_cast<void*>(&e), 0, sizeof e);
  e.aclass = uint8_t(cls);
  std::memcpy(e.app.data(), app, 3);
  e.number = num;
  e.kind = uint8_t(kind);
  e.sub = offset;
  FmArb* lf = ctx->lf;
  PcBuf<EmAreaEntry> r_buf;
  EmAreaEntry& r = *r_buf;
  r = e;
  PROTO_FULL(lf, 0, reinterpret_cast<uint8_t*>(&r));
  if (fm_read(lf)) return r.index;
  switch (kind) {
    case 0: case 2: case 3: case 4: {
      EmAreaEntry base = e;
      base.kind = 0;
      base.sub = 0;
      r = base;
      PROTO_FULL(lf, 0, reinterpret_cast<uint8_t*>(&r));
      if (!fm_read(lf)) {
        checkstat(lf->status, "must call pc_fld() first", kMod, __LINE__);
        return 0;
      }
      // A sub-area reaches from its offset to the area's end.
      e.size = offset < r.size ? uint32_t(r.size - offset) : 0u;
      e.source = r.source;
      if (kind == 0) {
        e.shr = r.shr;
        e.non_shr = r.non_shr;
      }
      // The whole area of this kind, at offset 0: the sub-areas lie in it.
      EmAreaEntry at0 = e;
      at0.sub = 0;
      at0.size = r.size;
      add_dlf(ctx, &at0);
      return add_dlf(ctx, &e);
    }
    case 1:
      sys_err(__LINE__, "must call or pc_fi() first");
      return 0;
    case 5: case 6:
      e.size = kind == 5 ? 16 : 28;
      return add_dlf(ctx, &e);
    default:
      sys_err(__LINE__, "bad dlf type");
      return 0;
  }
}

// -------------------------------------------------------------- files --
namespace {
int pc_fi_in(EmCap* cap, const char* file_name, EmCfi* out, PcCtx* ctx);

uint8_t seg_type(int type, bool* split) {
  *split = false;
  switch (type) {
    case 1: case 3: case 4: case 8: case 9: case 10: case 11: case 12: case 13: case 15: return FM_SEG_ALPHA;
    case 5: return FM_SEG_BINARY;
    case 6: case 7: *split = true; return FM_SEG_BINARY;
    default: return 0;
  }
}

// The segments of one simple element (occurrence k of a group member).
bool add_segs(const DElem& e, int k, uint8_t order, std::vector<FmSdb>* segs) {
  bool split = false;
  uint8_t t = seg_type(e.type, &split);
  if (!t) {
    sys_err(__LINE__, "pc_fi() inv key segment");
    return false;
  }
  FmSdb s;
  s.field = uint16_t(e.field_no + k);
  s.offset = uint16_t(e.offset + k * e.length);
  s.length = split ? 4 : e.length;
  s.type = t;
  s.order = order;
  segs->push_back(s);
  if (split && e.length == 8) {
    s.offset = uint16_t(s.offset + 4);
    s.field = uint16_t(s.field + 1);
    segs->push_back(s);
  }
  return true;
}

}  // namespace

int pc_fi(EmCap* cap, const char* file_name, EmCfi* result, PcCtx* ctx) {
  PcBuf<EmCfi> out_buf;
  EmCfi* out = out_buf.p;
  int ok = pc_fi_in(cap, file_name, out, ctx);
  *result = *out;
  return ok;
}

namespace {

int pc_fi_in(EmCap* cap, const char* file_name, EmCfi* out, PcCtx* ctx) {
  EmHeader* em = ctx->em;
  FmArb* cfif = em->cfi.get();
  std::memset(static_cast<void*>(out), 0, sizeof *out);
  out->fdb.app = cap->app;
  ut_cpy_fill(out->fdb.name.data(), file_name, 8);
  PROTO_FULL(cfif, 0, reinterpret_cast<uint8_t*>(out));
  if (fm_read(cfif)) return 1;
  PcBuf<DFile> file_buf;
  DFile& file = *file_buf;
  ut_cpy_fill(file.name.data(), file_name, 8);
  FmArb* el = file_and_elems(ctx, cap, &file);
  if (!el) return 0;
  DbIdBlank blank(el);
  char app[4] = {};
  std::memcpy(app, cap->app.data(), 3);
  // Keys: KDB entries and their segments.
  int keys = file.key_count;
  uint32_t kdb_no = 0;
  if (keys > 0) {
    PcBuf<uint8_t> kdb(size_t(12 * keys));
    std::vector<FmSdb> segs;
    for (int i = 0; i < keys && i < int(FM_MAX_KEYS); ++i) {
      PcBuf<DElem> e_buf;
      DElem& e = *e_buf;
      e.file = file.name;
      e.number = file.key_elem[i];
      PROTO_FULL(el, 2, reinterpret_cast<uint8_t*>(&e));
      if (!fm_read(el)) {
        checkstat(el->status, "bad read - delem file", kMod, __LINE__);
        return 0;
      }
      auto& k = rec::view<FmKdb>(kdb.bytes() + 12 * i);
      k.key_no = e.key_no;
      k.order = e.key_order;
      // '1' duplicates, '0' unique, blank duplicates whose blank keys are
      // left out (as the dictionary compiler describes the file).
      k.flags = uint8_t((e.key_dups == '1' ? 1 : e.key_dups == ' ' ? 17 : 0) + (e.key_no == 0 ? 4 : 0) +
                        (e.key_kind == 2 ? 2 : 0));
      size_t first = segs.size();
      if (e.kind == 3) {
      } else if (e.kind != 2) {
        if (!add_segs(e, 0, '+', &segs)) return 0;
      } else {
        rec::Text<22> last;
        std::memcpy(last.data(), e.domain.data(), 22);
        bool done = false;
        el->op = 0;
        while (!done) {
          if (!fm_rdnxt(el)) {
            sys_err(__LINE__, "pc_fi() group thru not found");
            return 0;
          }
          if (e.kind != 2 && e.kind != 3)
            for (int occ = 0; occ < (e.occurs ? e.occurs : 1); ++occ)
              if (!add_segs(e, occ, e.key_order, &segs)) return 0;
          done = std::memcmp(e.name.data(), last.data(), 22) == 0;
        }
      }
      k.seg_count = uint8_t(segs.size() - first);
      uint16_t len = 0;
      for (size_t j = first; j < segs.size(); ++j) len = uint16_t(len + segs[j].length);
      k.key_len = len;
      k.spare = uint16_t(first);  // index of its first segment in the SDB record
    }
    // The segments first: each key descriptor names their record (the
    // loader finds a key's segments there, after those of the keys before).
    FmArb* sf = em->sdb.get();
    PcBuf<uint8_t> sbuf(segs.size() * 8 + 8);
    if (!segs.empty()) std::memcpy(sbuf.bytes(), segs.data(), segs.size() * 8);
    PROTO_FULL(sf, 0, sbuf.bytes());
    sf->rec_len = uint16_t(segs.empty() ? 8 : segs.size() * 8);
    if (!fm_write(sf)) {
      checkstat(sf->status, "bad write - sdb file", kMod, __LINE__);
      return 0;
    }
    sf->rec_len = 0;
    for (int i = 0; i < keys && i < int(FM_MAX_KEYS); ++i) rec::view<FmKdb>(kdb.bytes() + 12 * i).segs.off = sf->rid;
    FmArb* kf = em->kdb.get();
    PROTO_FULL(kf, 0, kdb.bytes());
    kf->rec_len = uint16_t(kdb.size());
    if (!fm_write(kf)) {
      checkstat(kf->status, "bad write - kdb file", kMod, __LINE__);
      return 0;
    }
    kdb_no = kf->rid;
    kf->rec_len = 0;
  }
  // The descriptor and the rest of the CFI.
  EmCfi& c = *out;
  INIT_FDB_NUM(&c.fdb, FM_CLASS_DISK, file.rec_len, file.var[0] == '1', kdb_no, keys);
  c.fdb.org = uint8_t(file.org);
  c.fdb.app = cap->app;
  c.fdb.ver = cap->ver;
  c.fdb.name = file.name;
  c.fdb.flags = uint8_t((file.flag20[0] == '1' ? 2 : 0) + (file.flag21[0] == '1' ? 4 : 0));
  // An application's data files take the data path (the file manager knows no path type 0).
  c.fdb.path_type = std::memcmp(app, "0DN", 3) == 0 ? 8 : FM_PT_DATA;
  c.use = 0;
  c.fdb.share = 15;  // none for a PCF whose definition says so (pc_pcf)
  // A memory-resident file opens in the pool of its class owner.
  // (The file class of the definition says so as well as the mark.)
  if (file.b14[0] == '1' || file.ftype == FM_CLASS_MEMORY) c.fdb.options = c.fdb.options.get() | FM_OPT_MEMORY;
  c.xlate = file.xlate[0] == '1' ? 1 : 0;
  std::memcpy(c.stamp.b, file.stamp.b, 8);
  c.rec_area = file.area;
  c.ctl_area = file.area2;
  c.ipc_cat = pc_ipc_cat(code_of(file.b15[0]), code_of(file.b16[0]));
  c.share[0] = file.share[1];
  c.share[1] = file.share[0];
  c.share[2] = file.b95;
  c.one = 1;
  // The record offsets of the fields numbered in FILE bytes 172-175 (the
  // security code the PCF verbs and the file statements check) and 176-179.
  auto elem_off = [&](uint32_t number) -> int32_t {
    if (!number) return -1;
    PcBuf<DElem> e_buf;
    DElem& e = *e_buf;
    e.file = file.name;
    e.number = number;
    PROTO_FULL(el, 2, reinterpret_cast<uint8_t*>(&e));
    return fm_read(el) ? int32_t(e.offset) : -1;
  };
  c.elem1_off = elem_off(file.usage[8]);
  c.elem2_off = elem_off(file.usage[9]);
  std::memcpy(c.desc.data(), file.desc.data(), 30);
  em->b1220[0] = uint8_t(em->b1220[0] + 1);
  c.file_no = em->b1220[0];
  // Areas: the record and the control area.
  EmAreaEntry e;
  if (!area_entry(app, file.area, "pc_fi() - zero ano found", &e)) return 0;
  e.kind = 0;
  e.size = file.rec_len;
  e.source = 1;
  e.shr = pc_shr(file.share[1]);
  e.non_shr = pc_non_shr(file.b95, file.share[0]);
  c.rec_ira = add_dlf(ctx, &e);
  if (file.area2 % 1000000) {
    EmAreaEntry k = e;
    k.aclass = uint8_t(file.area2 / 1000000);
    k.number = file.area2 % 1000000;
    k.kind = 1;
    k.size = 44;
    k.source = 0;
    k.shr = 16;
    k.non_shr = 18;
    c.ctl_ira = add_dlf(ctx, &k);
  }
  PROTO_FULL(cfif, 0, reinterpret_cast<uint8_t*>(out));
  if (!fm_write(cfif)) {
    checkstat(cfif->status, "cfi write failed", kMod, __LINE__);
    return 0;
  }
  return 1;
}

}  // namespace

// -------------------------------------------------------------- fields --
int pc_wrk(EmCap* cap, CElem* celem, PcCtx* ctx) {
  EmHeader* em = ctx->em;
  FmArb* f = em->cfld.get();
  PcBuf<EmCfld> r_buf;
  EmCfld& r = *r_buf;
  r.app = cap->app;
  r.name = celem->e.name;
  PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(&r));
  if (fm_read(f)) {
    celem->reference = r.k42;
    return 1;
  }
  // The initial and second values become constants in stored form.
  CvBlock blk;
  char app[4] = {}, ver[3] = {};
  std::memcpy(app, ctx->app, 3);
  std::memcpy(ver, ctx->ver, 2);
  if (!cv_get_cnv(&blk, &celem->e, app, ver)) {
    sys_err(__LINE__, "pc_wrk() - bad delem");
    return 0;
  }
  bool num = celem->e.type == 5 || celem->e.type == 8 || celem->e.type == 12;
  uint16_t shown = blk.item->ext_len.get();
  auto store = [&](const char* text, size_t len, uint32_t fail, uint32_t* key) {
    PcBuf<char> buf(256);
    std::memset(buf.p, ' ', 256);
    std::memcpy(buf.p, text, len);
    // A number is read whole: its text may be wider than the field's display
    // (leading zeros, a sign, a point), and a cut text would be another value.
    size_t used = len;
    while (used > 0 && text[used - 1] == ' ') --used;
    blk.item->ext_len = uint16_t(num && used > shown ? used : shown);
    cv_set_addr(&blk, nullptr, buf.p);
    int in_com = 0;
    if (!cv_get_universal(&blk, 0, &in_com, ctx->pool)) {
      em->status = fail;
      return false;
    }
    *key = pc_put_cnst(em, blk.item->int_addr.get(), celem->e.length, in_com);
    return true;
  };
  uint32_t k1 = 0, k2 = 0;
  if (!store(num ? celem->e.null_value.data() : " ", num ? 33 : 1, kPcBadInit, &k1)) return 0;
  k2 = k1;
  if (!ut_is_all(celem->e.initial.data(), ' ', 60) && !store(celem->e.initial.data(), 60, kPcBadSecond, &k2))
    return 0;
  r.occurs = celem->e.occurs;
  std::memcpy(r.stamp.b, celem->e.stamp2.b, 8);
  r.area = celem->e.area;
  r.k40 = uint16_t(k2);
  r.k42 = uint16_t(k1);
  PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(&r));
  if (!fm_write(f)) {
    checkstat(f->status, "ref-fld write failed", kMod, __LINE__);
    return 0;
  }
  celem->reference = uint16_t(k1);
  return 1;
}

namespace {
int pc_fld_in(const char* app, const char* field, uint16_t occ, CElem* out, PcCtx* ctx);
}  // namespace

namespace {
PcFldKey fld_key(const char* app, const char* field, uint16_t occ) {
  PcFldKey fk;
  std::memcpy(fk.b, app, 3);
  ut_cpy_fill(fk.b + 3, field, 22);
  uint16_t occ1 = occ ? occ : 1;
  std::memcpy(fk.b + 25, &occ1, 2);
  return fk;
}
}  // namespace

const CElem* PcFldTable::find(const PcFldKey& k) const {
  if (slots_.empty()) return nullptr;
  uint64_t h = PcFldKeyHash{}(k);
  size_t mask = slots_.size() - 1;
  for (size_t i = h & mask; slots_[i]; i = (i + 1) & mask) {
    if ((slots_[i] >> 32) != (h >> 32)) continue;
    const Entry& e = entries_[uint32_t(slots_[i]) - 1];
    if (e.key == k) return &e.e;
  }
  return nullptr;
}

const CElem* PcFldTable::add(const PcFldKey& k, const CElem& e) {
  entries_.push_back({k, e});
  // At half full the table doubles (and is made anew).
  if (2 * entries_.size() > slots_.size()) {
    slots_.assign(std::max<size_t>(64, 2 * slots_.size()), 0);
    for (size_t n = 0; n < entries_.size(); ++n) {
      uint64_t h = PcFldKeyHash{}(entries_[n].key);
      size_t i = h & (slots_.size() - 1);
      while (slots_[i]) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = (h >> 32) << 32 | (n + 1);
    }
  } else {
    uint64_t h = PcFldKeyHash{}(k);
    size_t i = h & (slots_.size() - 1);
    while (slots_[i]) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = (h >> 32) << 32 | entries_.size();
  }
  return &entries_.back().e;
}

void PcFldTable::clear() {
  ++generation_;
  entries_.clear();
  slots_.clear();
}

int pc_fld(const char* app, const char* field, uint16_t occ, CElem* out, PcCtx* ctx) {
  if (!app) { sys_err(__LINE__, "Null application id"); return 0; }
  if (!field) { sys_err(__LINE__, "Null field name"); return 0; }
  if (!out) { sys_err(__LINE__, "Null celem pointer"); return 0; }
  PcFldKey fk = fld_key(app, field, occ);
  if (const CElem* got = ctx->fields.find(fk)) {
    *out = *got;
    return 1;
  }
  if (!pc_fld_in(app, field, occ, out, ctx)) return 0;
  ctx->fields.add(fk, *out);
  return 1;
}

const CElem* pc_fld_ref(const char* app, const char* field, uint16_t occ, PcCtx* ctx) {
  if (!app) { sys_err(__LINE__, "Null application id"); return nullptr; }
  if (!field) { sys_err(__LINE__, "Null field name"); return nullptr; }
  PcFldKey fk = fld_key(app, field, occ);
  if (const CElem* got = ctx->fields.find(fk)) return got;
  CElem got;
  if (!pc_fld_in(app, field, occ, &got, ctx)) return nullptr;
  return ctx->fields.add(fk, got);
}

namespace {

int pc_fld_in(const char* app, const char* field, uint16_t occ, CElem* out, PcCtx* ctx) {
  EmHeader* em = ctx->em;
  EmCap* cap = pc_ap(app, ctx);
  if (!cap) return 0;
  FmArb* el = pc_open_src(ctx, cap, kSrcElem);
  if (!el) {
    em->status = kPcNoElemFile;
    return 0;
  }
  std::memset(static_cast<void*>(out), 0, sizeof *out);
  {
    PcBuf<DElem> eb;
    ut_cpy_fill(eb->name.data(), field, 22);
    PROTO_FULL(el, 0, eb.bytes());
    el->rec_len = sizeof(DElem);
    int got = fm_read(el);
    el->rec_len = 0;
    if (!got) {
      em->status = kPcNoField;
      return 0;
    }
    out->e = *eb;
  }
  const DElem& e = out->e;
  if (occ == 0) occ = 1;
  uint16_t occurs = e.occurs ? uint16_t(e.occurs) : 1;
  if (occ > occurs) {
    em->status = kPcOccHigh;
    return 0;
  }
  bool work = e.work == '1';
  if (work) {
    if (!pc_wrk(cap, out, ctx)) return 0;
  } else {
    EmCfi cfi;
    char fname[9] = {};
    std::memcpy(fname, e.file.data(), 8);
    if (!pc_fi(cap, fname, &cfi, ctx)) return 0;
    out->reference = cfi.file_no;
  }
  EmAreaEntry a;
  if (!area_entry(app, e.area, "pc_get_ira() - zero ano found", &a)) return 0;
  a.source = work ? 2 : 1;
  a.shr = pc_shr(e.share_b);
  a.non_shr = pc_non_shr(e.b185, e.share_a);
  if (work && occurs > 1) {
    EmAreaEntry whole = a;
    whole.sub = 0;
    whole.size = uint32_t(occurs) * e.length;
    add_dlf(ctx, &whole);
  }
  uint32_t off = uint32_t(work ? 0 : e.offset) + uint32_t(e.length) * (occ - 1u);
  a.sub = off;
  a.size = e.length;
  out->ira = add_dlf(ctx, &a);
  out->field_offset = uint16_t(work ? 0 : off);
  out->source = work ? 2 : 1;
  pc_add_ctok(ctx, app, e);
  return 1;
}

}  // namespace

void pc_scan(EmCap* cap, PcCtx* ctx, const EmCfi& cfi, int mode) {
  EmHeader* em = ctx->em;
  FmArb* sf = em->scan.get();
  if (!sf) return;
  // Done already for this file.
  PcBuf<PcScan> s;
  s->file_no = cfi.file_no;
  int started = fm_start_at(sf, 0, s.bytes(), s.bytes(), 2);
  if (started && fm_rdnxt(sf) && s->file_no == cfi.file_no) return;
  PcPcfCmpl& pr = pc_pcf_cmpl(em);
  if (mode == 1)
    for (auto& n : pr.scan_name) n.clear();
  FmArb* el = pc_open_src(ctx, cap, kSrcElem);
  if (!el) return;
  DbIdBlank blank(el);
  char app[4] = {};
  std::memcpy(app, cap->app.data(), 3);
  // The file's elements in sequence order (ELEMENT key 2: file, number).
  PcBuf<DElem> e;
  PcBuf<DElem> k;
  k->file = cfi.fdb.name;
  started = fm_start_at(el, 2, e.bytes(), reinterpret_cast<uint8_t*>(k->file.data()), 8);   // the key's first segment
  if (!started) {
    checkstat(el->status, "bad elem constaint ", kMod, __LINE__);
    return;
  }
  while (fm_rdnxt(el) && e->file == k->file) {
    bool key = e->key_kind != 255;
    bool code = e->b94 != 0 && e->b94 != ' ';
    if (!key && !code) continue;
    std::memset(static_cast<void*>(s.p), 0, sizeof *s.p);
    s->file_no = cfi.file_no;
    s->code = e->b94;
    s->seq = e->number;
    s->key_no = key ? uint8_t(e->key_no) : uint8_t(255);
    PROTO_FULL(sf, 0, s.bytes());
    if (!fm_write(sf)) {
      checkstat(sf->status, "Bad scan write ", kMod, __LINE__);
      return;
    }
    // ELEMENT bytes 95-124 (`label`) hold a key's scan process name.
    if (mode == 1 && key && e->key_no < 17) {
      std::memcpy(pr.scan_name[e->key_no].data(), e->label.data(), 30);
      pr.scan_flag[e->key_no] = uint8_t(e->flag92) == '1' ? 1 : 0;
    }
    pc_add_ctok(ctx, app, *e);
  }
}

namespace {

struct Frag {
  int32_t off;
  uint16_t fld;
  uint32_t len;
};

FmArb* open_elem(const char* app3, const char* ver2) {
  Areas* a = areas();
  FmFdb fdb;
  char app[4] = {}, ver[3] = {};
  std::memcpy(app, app3, 3);
  std::memcpy(ver, ver2, 2);
  int opened = fm_open_dict(&fdb, INIT_DELEM_FDB, a->kdb, a->sdb, app, ver, com.depth);
  if (!opened) {
    checkstat(fdb.status, "can't open element file", kMod, __LINE__);
    return nullptr;
  }
  return fdb.handle.get();
}

// The fragments of an element: itself, or a group's simple members up to
// its last element (a group end or filler closing it is none).
bool frags_of(FmArb* el, const char* name, const char* missing, std::vector<Frag>* out) {
  PcBuf<DElem> e;
  ut_cpy_fill(e->name.data(), name, 22);
  PROTO_FULL(el, 0, e.bytes());
  if (!fm_read(el)) {
    sys_err(__LINE__, missing);
    return false;
  }
  auto whole = [](const DElem& x) {
    return Frag{int32_t(x.offset), uint16_t(x.field_no), uint32_t(x.length) * (x.occurs ? x.occurs : 1u)};
  };
  if (e->kind != 2) {
    out->push_back(whole(*e));
    return true;
  }
  rec::Text<22> last = e->domain;
  PcBuf<DElem> k;
  k->file = e->file;
  k->number = e->number;
  // get_nxt_frag: the elements that follow in the file's sequence.
  PROTO_FULL(el, 2, e.bytes());
  el->key.set(reinterpret_cast<uint8_t*>(k->file.data()));
  el->key_len = 12;
  el->op = FM_OP_AT | FM_OP_KEY | FM_OP_GE;
  int started = fm_start(el);
  el->op = 0;
  el->key.reset();
  el->key_len = 0;
  while (started && fm_rdnxt(el) && e->file == k->file) {
    bool end = e->name == last;
    if (e->kind != 2 && !(end && e->kind == 3)) out->push_back(whole(*e));
    if (end) return true;
  }
  sys_err(__LINE__, missing);
  return false;
}

}  // namespace

int pc_bld_map(PcMapCtl* blk) {
  if (!blk) {
    sys_err(__LINE__, "NULL mcc_blk address");
    return 0;
  }
  blk->count = 0;
  std::vector<Frag> src, dst;
  FmArb* se = open_elem(blk->src_app, blk->ver);
  if (!se) return 0;
  FmArb* de = std::memcmp(blk->src_app, blk->dst_app, 3) == 0 ? se : open_elem(blk->dst_app, blk->ver);
  bool ok = de && frags_of(se, blk->src_elem, "can't find source delem", &src) &&
            frags_of(de, blk->dst_elem, "can't find dst delem", &dst);
  size_t i = 0, j = 0;
  uint32_t rs = src.empty() ? 0 : src[0].len, rd = dst.empty() ? 0 : dst[0].len;
  PcBuf<PcMap> m;
  while (ok && (i < src.size() || j < dst.size())) {
    bool s = i < src.size(), d = j < dst.size();
    uint32_t len = s && d ? (rs < rd ? rs : rd) : s ? rs : rd;
    if (len == 0) {
      sys_err(__LINE__, "oops, fragment length zero");
      ok = false;
      break;
    }
    m->src_off = s ? int32_t(src[i].off + int32_t(src[i].len - rs)) : -1;
    m->dst_off = d ? int32_t(dst[j].off + int32_t(dst[j].len - rd)) : -1;
    m->src_fld = s ? src[i].fld : uint16_t(0);
    m->dst_fld = d ? dst[j].fld : uint16_t(0);
    m->length = uint16_t(len);
    if (blk->map) PROTO_FULL(blk->map, 0, m.bytes());
    if (!blk->map || !fm_write(blk->map)) {
      sys_err(__LINE__, "map write failed");
      ok = false;
      break;
    }
    ++blk->count;
    if (s && (rs -= len) == 0 && ++i < src.size()) rs = src[i].len;
    if (d && (rd -= len) == 0 && ++j < dst.size()) rd = dst[j].len;
  }
  if (de && de != se && !FM_CLOSE(de, 0)) checkstat(de->status, "can't close dst elem file", kMod, __LINE__);
  if (!FM_CLOSE(se, 0)) checkstat(se->status, "can't close src elem file", kMod, __LINE__);
  return ok ? 1 : 0;
}

void bld_seg_fi(PcCtx* ctx, FmArb* pk, const EmCfi& cfi) {
  EmHeader* em = ctx->em;
  uint32_t rid = cfi.fdb.kdb.off;
  if (!rid || !pk) return;
  // The KDB and SDB records of a file are written together: the same number.
  PcBuf<uint8_t> kdb(2048), sdb(2048);
  auto read = [&](FmArb* f, uint8_t* buf, const char* text) {
    PROTO_FULL(f, 0, buf);
    f->rid = rid;
    f->op = FM_OP_RID;
    f->rec_len = 2048;
    int ok = fm_read(f);
    f->op = 0;
    f->rec_len = 0;
    if (!ok) checkstat(f->status, text, kMod, __LINE__);
    return ok;
  };
  if (!read(em->kdb.get(), kdb.bytes(), "can't read kdb array")) return;
  if (!read(em->sdb.get(), sdb.bytes(), "can't read sdb array")) return;
  PcBuf<EmPk> r;
  for (int i = 0; i < int(cfi.fdb.key_count) && i < int(FM_MAX_KEYS); ++i) {
    const auto& k = rec::view<FmKdb>(kdb.bytes() + 12 * i);
    for (int j = 0; j < k.seg_count; ++j) {
      size_t at = 8 * (size_t(k.spare) + size_t(j));
      if (at + 8 > 2048) break;
      const auto& sg = rec::view<FmSdb>(sdb.bytes() + at);
      r->key_no = k.key_no;
      r->field = sg.field;
      r->length = sg.length;
      r->offset = sg.offset;
      PROTO_FULL(pk, 0, r.bytes());
      if (!fm_write(pk)) {
        checkstat(pk->status, "bad seg file write", kMod, __LINE__);
        return;
      }
    }
  }
}

int pc_primary_key(PcCtx* ctx, const char* app, const char* file_name, char* field) {
  EmHeader* em = ctx->em;
  EmCap* cap = pc_ap(app, ctx);
  if (!cap) return 0;
  PcBuf<DFile> file;
  ut_cpy_fill(file->name.data(), file_name, 8);
  FmArb* el = file_and_elems(ctx, cap, file.p);
  if (!el) return 0;
  DbIdBlank blank(el);
  // The field of key number 0, which the file's key list need not give first.
  for (int i = 0; i < int(file->key_count) && i < int(FM_MAX_KEYS); ++i) {
    PcBuf<DElem> e;
    e->file = file->name;
    e->number = file->key_elem[i];
    PROTO_FULL(el, 2, e.bytes());
    if (!fm_read(el)) continue;
    if (e->key_no != 0) continue;
    std::memcpy(field, e->name.data(), 22);
    return 1;
  }
  em->status = kPcNoField;
  return 0;
}

void pc_add_ctok(PcCtx* ctx, const char* app, const DElem& e) {
  if (!e.token_mark || e.type != 5) return;
  FmArb* f = ctx->em->ctok.get();
  if (!f) return;
  PcBuf<EmCtok> r;
  std::memcpy(r->app.data(), app, 3);
  std::memcpy(r->name.data(), e.domain.data(), 22);
  PROTO_FULL(f, 0, r.bytes());
  // A list named twice is kept once; a write that fails costs the item
  // its token list only, as when the list is not found at load.
  (void)fm_write(f);
}

uint32_t pc_sum_ref(const char* app, const CElem* celem, uint16_t index, int kind, PcCtx* ctx) {
  EmHeader* em = ctx->em;
  FmArb* f = em->sum.get();
  PcBuf<PcSum> r_buf;
  PcSum& r = *r_buf;
  r.ira = celem->ira;
  r.index = index;
  PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(&r));
  f->op = FM_OP_HOLD;
  if (fm_read(f)) {
    f->op = 0;
    if (r.total || kind != 2) {
      fm_release(f);
      return r.number;
    }
    r.total = 1;
    if (!fm_rewrite(f)) checkstat(f->status, "Bad sum rewrite ", kMod, __LINE__);
    return r.number;
  }
  f->op = 0;
  uint16_t occurs = celem->e.occurs ? uint16_t(celem->e.occurs) : 1;
  uint32_t last = 0;
  auto& counter = rec::view<rec::U32>(em->b1280.b);
  for (uint16_t i = 1; i <= occurs; ++i) {
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.number = counter;
    counter = counter + 1;
    r.ira = celem->ira;
    r.index = i;
    r.total = kind == 2 ? 1 : 0;
    std::memcpy(r.app.data(), app, 3);
    r.area = celem->e.area;
    r.offset = uint32_t(i - 1) * celem->e.length + celem->field_offset;
    PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(&r));
    if (!fm_write(f)) checkstat(f->status, "Bad sum write ", kMod, __LINE__);
    last = r.number;
  }
  if (occurs < 2) return last;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.ira = celem->ira;
  r.index = index;
  PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(&r));
  if (!fm_read(f)) checkstat(f->status, "bad sum read", kMod, __LINE__);
  return r.number;
}

// ------------------------------------------------------------ finders --
namespace {

struct Found {
  bool valid = false;
  uint32_t a = 0, b = 0, c = 0;
  uint8_t* rec = nullptr;
};
Found g_cfrm, g_cimg, g_cchld;

// The record of f whose key number key_no equals the one in buf.
uint8_t* find_by(FmArb* f, int key_no, uint8_t* buf, const char* text) {
  if (!f) return nullptr;
  PROTO_FULL(f, key_no, buf);
  uint8_t* r = fm_read_fast(f, 0);
  if (!r && f->status != FM_ST_NO_RECORD) checkstat(f->status, text, kMod, __LINE__);
  return r;
}

}  // namespace

void pc_find_reset() { g_cfrm = g_cimg = g_cchld = Found{}; }

EmCfrm* pc_find_cfrm(PcCtx* ctx, uint8_t code, uint32_t number) {
  if (!ctx) {
    sys_err(__LINE__, "NULL pc pointer - pc_find_cfrm()");
    return nullptr;
  }
  if (g_cfrm.valid && g_cfrm.a == code && g_cfrm.b == number) return reinterpret_cast<EmCfrm*>(g_cfrm.rec);
  PcBuf<EmCfrm> k;
  k->code = code;
  k->number = number;
  uint8_t* r = find_by(ctx->em->cfrm.get(), 1, k.bytes(), "bad compiled frame read");
  if (r) g_cfrm = Found{true, code, number, 0, r};
  return reinterpret_cast<EmCfrm*>(r);
}

EmCimg* pc_find_cimg(PcCtx* ctx, const EmCfrm* frame, uint8_t image_no) {
  if (!ctx) {
    sys_err(__LINE__, "NULL pc pointer - pc_find_cimg()");
    return nullptr;
  }
  uint32_t fseq = frame ? uint32_t(frame->seq) : 0;
  if (g_cimg.valid && g_cimg.a == fseq && g_cimg.b == image_no) return reinterpret_cast<EmCimg*>(g_cimg.rec);
  PcBuf<EmCimg> k;
  k->frame_seq = fseq;
  k->image_no = image_no;
  uint8_t* r = find_by(ctx->em->cimg.get(), 1, k.bytes(), "bad compiled image read");
  if (r) g_cimg = Found{true, fseq, image_no, 0, r};
  return reinterpret_cast<EmCimg*>(r);
}

EmCchld* pc_find_cchld(PcCtx* ctx, const EmCfrm* frame, const EmCimg* image, uint32_t child_no, uint8_t disc) {
  if (!ctx) {
    sys_err(__LINE__, "NULL pc pointer - pc_find_cchld()");
    return nullptr;
  }
  // Keyed by frame and child number, or (c = 1 + image sequence) by image
  // and discriminator.
  uint32_t a = image ? uint32_t(image->seq) : (frame ? uint32_t(frame->seq) : 0);
  uint32_t b = image ? disc : child_no;
  uint32_t c = image ? 1 : 0;
  if (g_cchld.valid && g_cchld.a == a && g_cchld.b == b && g_cchld.c == c)
    return reinterpret_cast<EmCchld*>(g_cchld.rec);
  PcBuf<EmCchld> k;
  if (image) {
    k->image_seq = a;
    k->disc = disc;
  } else {
    k->frame_seq = a;
    k->child_no = child_no;
  }
  uint8_t* r = find_by(ctx->em->cchld.get(), image ? 2 : 1, k.bytes(), "bad compiled child read");
  if (r) g_cchld = Found{true, a, b, c, r};
  return reinterpret_cast<EmCchld*>(r);
}

// ----------------------------------------------------------------- PCF --
namespace {

// The stored CFI of `c` (application, file name) held, changed by `fix`
// and written back; `c` follows the stored record.
template <class Fix>
void cfi_update(PcCtx* ctx, EmCfi* c, Fix fix) {
  FmArb* f = ctx->em->cfi.get();
  PcBuf<EmCfi> r;
  r->fdb.app = c->fdb.app;
  r->fdb.name = c->fdb.name;
  PROTO_FULL(f, 0, r.bytes());
  f->op = FM_OP_HOLD;
  int got = fm_read(f);
  f->op = 0;
  if (!got) {
    checkstat(f->status, "cfi read failed", kMod, __LINE__);
    return;
  }
  fix(*r);
  if (!fm_rewrite(f)) checkstat(f->status, "cfi rewrite failed", kMod, __LINE__);
  *c = *r;
}

// The elements of a file in sequence (ELEMENT key 2); the handle's
// position is not kept, so callers may read the source again meanwhile.
std::vector<DElem> file_elems(FmArb* el, const rec::Text<8>& file) {
  std::vector<DElem> out;
  PcBuf<DElem> e;
  PcBuf<DElem> k;
  k->file = file;
  int started = fm_start_at(el, 2, e.bytes(), reinterpret_cast<uint8_t*>(k->file.data()), 8);
  if (!started) return out;
  while (fm_rdnxt(el) && e->file == file) out.push_back(*e);
  return out;
}

// A CFLD record of a file field (a duplicate name is left as it is).
void file_cfld(PcCtx* ctx, const rec::Text<3>& app, const DElem& e, bool lookup) {
  FmArb* f = ctx->em->cfld.get();
  PcBuf<EmCfld> r;
  r->app = app;
  r->name = e.name;
  r->occurs = lookup ? 0 : e.occurs;
  std::memcpy(r->stamp.b, e.stamp2.b, 8);
  r->area = e.area;
  r->k40 = lookup ? 0 : e.offset;
  r->k42 = 0;
  r->scan = e.b94;
  std::memcpy(r->scan_proc.data(), e.label.data(), 30);
  PROTO_FULL(f, 0, r.bytes());
  if (!fm_write(f) && f->status != FM_ST_DUP_KEY) checkstat(f->status, "ref-fld write failed", kMod, __LINE__);
}

bool has_scan(const DElem& e) { return e.b94 != 0 && e.b94 != ' '; }

}  // namespace

int pc_pcf(EmCap* cap, EmCfi* cfi, PcCtx* ctx) {
  EmHeader* em = ctx->em;
  const DProc& d = ctx->def;
  int type = em->proc_type;
  // 1. Use flags and share mode: the process file is used; an Input
  // process adds, deletes and changes as its definition allows. The share
  // mode (the descriptor's byte 47) is 15, none when the definition says so.
  cfi_update(ctx, cfi, [&](EmCfi& c) {
    if (d.b110[0] == '0') c.fdb.share = 0;
    c.use = uint8_t(c.use | 1);
    if (type == 2) {
      if (d.flag106[0][0] != '0') c.use = uint8_t(c.use | 2);
      if (d.flag106[1][0] != '0') c.use = uint8_t(c.use | 8);
      if (d.flag106[2][0] != '0') c.use = uint8_t(c.use | 4);
    }
  });
  // 2.
  PcBuf<DFile> file;
  file->name = cfi->fdb.name;
  FmArb* el = file_and_elems(ctx, cap, file.p);
  if (!el) return 0;
  // 3. Stamp and guard fields.
  PcPcfCmpl& pr = pc_pcf_cmpl(em);
  {
    DbIdBlank blank(el);
    for (const PcPcfStamp& s : pc_pcf_stamps) {
      pr.stamp_off[s.usage_slot] = -1;
      if (s.date) {
        std::memset(static_cast<void*>(&pr.date[s.index]), 0, sizeof(DateStampRec));
        pr.date[s.index].offset = -1;
      } else if (s.typed) {
        std::memset(static_cast<void*>(&pr.typed[s.index]), 0, sizeof(PcTypedStamp));
      }
      uint32_t no = file->usage[s.usage_slot];
      if (no == 0) continue;
      PcBuf<DElem> e;
      e->file = file->name;
      e->number = no;
      PROTO_FULL(el, 2, e.bytes());
      if (!fm_read(el)) {
        checkstat(el->status, "Bad element read ", kMod, __LINE__);
        return 0;
      }
      pr.stamp_off[s.usage_slot] = e->offset;
      if (s.date) {
        DateStampRec& r = pr.date[s.index];
        std::memcpy(r.mask.b, e->mask.data(), 60);
        DateDesc dd;
        dd.type = e->type;
        dd.mask = r.mask.b;
        dd.mask_len = 60;
        if (!cv_cmpl_date_msk(&dd)) {
          sys_err(__LINE__, "pc_pcf() - bad date stamp mask");
          return 0;
        }
        r.offset = e->offset;
        r.type = dd.type;
        r.high = dd.high;
        r.low = dd.low;
        r.julian = dd.julian;
        r.len = e->length;
        r.mask_len = dd.mask_len;
      } else if (s.typed) {
        pr.typed[s.index].type = e->type;
        pr.typed[s.index].len = e->length;
      }
    }
  }
  // 4.
  pc_scan(cap, ctx, *cfi, 1);
  // 5. A keyed PCF of an Action or Update process that keeps its records'
  // conversions: one compiled conversion per field of its first key.
  char app[4] = {};
  std::memcpy(app, cap->app.data(), 3);
  char ver[3] = {};
  std::memcpy(ver, cap->ver.data(), 2);
  if ((type == 4 || type == 7) && file->org == 3 && d.flag376[0][0] != '1' && file->key_count > 0) {
    FmArb* cv = em->cv.get();
    if (!cv || !fm_is_handle(cv)) {
      const EmSub* s = em_sub("CV");
      cv = s ? em_create_sub(em, *s) : nullptr;
      if (!cv) return 0;  // the system error "cnv file create failed" is shown

    }
    DbIdBlank blank(el);
    PcBuf<DElem> k;
    k->file = file->name;
    k->number = file->key_elem[0];
    PROTO_FULL(el, 2, k.bytes());
    if (!fm_read(el)) {
      checkstat(el->status, "pc_pcf() - can't read delem file", kMod, __LINE__);
      return 0;
    }
    std::vector<DElem> parts;
    if (k->kind != 2) {
      parts.push_back(*k);
    } else {
      // The members follow the group in sequence (the read left the
      // stream on it).
      rec::Text<22> last;
      std::memcpy(last.data(), k->domain.data(), 22);
      DElem& e = *k;
      while (fm_rdnxt(el) && e.file == file->name) {
        if (e.kind == 1 || e.kind == 5) parts.push_back(e);
        if (std::memcmp(e.name.data(), last.data(), 22) == 0) break;
      }
    }
    PcBuf<CvBlock> blk;
    PcBuf<CElem> ce;
    for (const DElem& p : parts) {
      std::memset(static_cast<void*>(blk.p), 0, sizeof(CvBlock));
      ce->e = p;
      ce->reference = cfi->file_no;
      ce->field_offset = p.offset;
      ce->source = 1;
      CvItem& it = blk->own;
      it.reference = cfi->file_no;
      it.source = 1;
      it.one = 1;
      if (!cv_bld_sitm(&it, ce.p, nullptr, app, ver) || !cv_cmpl(blk.p, &it, nullptr, 0)) {
        sys_err(__LINE__, "pc_pcf() - can't write cnv file");
        return 0;
      }
      PROTO_FULL(cv, 0, reinterpret_cast<uint8_t*>(&it));
      if (!fm_write(cv)) {
        checkstat(cv->status, "pc_pcf() - can't write cnv file", kMod, __LINE__);
        return 0;
      }
    }
    return 1;
  }
  if (type != 2 && type != 3 && type != 9) return 1;
  // 6. The PCF's fields (an Input process: its simple fields only) and,
  // for Output and Inquiry, the scanned fields of each look-up file.
  std::vector<DElem> elems;
  {
    DbIdBlank blank(el);
    elems = file_elems(el, file->name);
  }
  for (const DElem& e : elems)
    if (type != 2 || e.kind == 1) file_cfld(ctx, cap->app, e, false);
  if (type == 2) return 1;
  for (const DElem& e : elems) {
    if (ut_is_all(e.ref_app.data(), ' ', 3)) continue;
    char lapp[4] = {};
    std::memcpy(lapp, e.ref_app.data(), 3);
    char lfld[23] = {};
    std::memcpy(lfld, e.ref_field.data(), 22);
    PcBuf<CElem> ce;
    if (!pc_fld(lapp, lfld, 1, ce.p, ctx)) {
      if (em->status != kPcNoApp) pc_add_cmpl_err(ctx, kPcErrProc, &d, kPcBadLookup, e.name.data(), 22);
      continue;
    }
    EmCap* lcap = pc_ap(lapp, ctx);
    if (!lcap) {
      sys_err(__LINE__, "pc_pcf - unable to find lookup cap");
      return 0;
    }
    char lfile[9] = {};
    std::memcpy(lfile, e.ref_file.data(), 8);
    PcBuf<EmCfi> lc;
    if (!pc_fi(lcap, lfile, lc.p, ctx)) {
      if (em->status != kPcNoApp) pc_add_cmpl_err(ctx, kPcErrProc, &d, kPcBadLookup, e.name.data(), 22);
      continue;
    }
    cfi_update(ctx, lc.p, [](EmCfi& c) { c.use = uint8_t(c.use | 1); });
    FmArb* lel = pc_open_src(ctx, lcap, kSrcElem);
    if (!lel) continue;
    std::vector<DElem> lelems;
    {
      DbIdBlank blank(lel);
      lelems = file_elems(lel, lc->fdb.name);
    }
    for (const DElem& le : lelems)
      if (has_scan(le)) file_cfld(ctx, lcap->app, le, true);
  }
  return 1;
}

void pc_cfi_use(PcCtx* ctx, EmCfi* c, uint8_t bits) {
  cfi_update(ctx, c, [bits](EmCfi& r) { r.use = uint8_t(r.use | bits); });
}
