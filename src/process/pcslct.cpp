// The selection lines of child invocations: each child's lines become the
// key constraints its own file is read under. See pc.h (pc_slct).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pc.h"
#include "process/piexec.h"

namespace {

constexpr const char* kMod = "PCSLCT.C";

std::string cstr(const char* p, size_t n) {
  std::string s(p, n);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// A selection line that belongs to a child invocation names its frame.
bool of_child(const DSelect& s) { return s.frame_code || s.frame_no || s.image_no || s.b40; }

// The owner of a child's lines: frame class and number, image, discriminator
// (byte 37, binary as in the CHILD record; the line's layout keeps it in a
// text field, so a blank is 0) and child number.
uint8_t disc_of(const DSelect& s) { return s.b37[0] == ' ' ? 0 : uint8_t(s.b37[0]); }
struct Owner {
  uint8_t code = 0;
  uint32_t frame = 0;
  uint8_t image = 0;
  uint8_t disc = 0;
  uint32_t child = 0;
  bool operator==(const Owner&) const = default;
};
Owner owner_of(const DSelect& s) {
  return Owner{s.frame_code, s.frame_no, s.image_no, disc_of(s), s.b40};
}

// The child record a kind-4 compile error shows: the owner fields of the
// line, which the CHILD record shares.
void child_err(PcCtx* ctx, const DSelect& s, uint32_t msg) {
  PcBuf<DChild> c;
  std::memset(c.bytes(), ' ', sizeof(DChild));
  std::memcpy(c.bytes(), &s, offsetof(DChild, ch_type));
  c->disc = disc_of(s);
  c->b38.clear();
  pc_add_cmpl_err(ctx, kPcErrChild, c.bytes(), msg, nullptr, 0);
}

// A constant value of the constrained field: the line's 30 characters
// (`" "` a blank value) converted to the field's stored form and written to
// the module's constant file. Its number, or 0 when it does not convert.
uint32_t cnst_of(PcCtx* ctx, const CElem& left, const char* value) {
  const DElem& e = left.e;
  char text[31];
  std::memcpy(text, value, 30);
  text[30] = 0;
  if (std::memcmp(text, "\" \"", 3) == 0) std::memset(text, ' ', 30);
  CvBlock blk;
  char app[4] = {}, ver[3] = {};
  std::memcpy(app, ctx->app, 3);
  std::memcpy(ver, ctx->ver, 2);
  if (!cv_get_cnv(&blk, &e, app, ver)) {
    checkstat(blk.msg, "cv_get_cnv() - bad delem", kMod, __LINE__);
    return 0;
  }
  size_t used = 30;
  while (used > 0 && text[used - 1] == ' ') --used;
  bool num = e.type == 5 || e.type == 8 || e.type == 12;
  if (num && blk.item->ext_len.get() < used) blk.item->ext_len = uint16_t(used);
  size_t n = std::max<size_t>(size_t(e.length), 30) + 1;
  PcBuf<char> ext(n + 256);
  std::memset(ext.p, ' ', n + 256);
  std::memcpy(ext.p, text, 30);
  PcBuf<uint8_t> stored(size_t(e.length) + 1);
  cv_set_addr(&blk, stored.bytes(), ext.p);
  int in_com = 0;
  if (cv_get_universal(&blk, 0, &in_com, ctx->pool) != 1) return 0;
  const uint8_t* v = in_com ? reinterpret_cast<const uint8_t*>(blk.item->int_addr.get()) : stored.bytes();
  if (!v) return 0;
  return pc_put_cnst(ctx->em, v, e.length, 0);
}

// One child's constraint set while its lines compile.
struct ChildSet {
  EmCchld* child = nullptr;
  bool failed = false;         // 200750: no constraints are attached
  char app[3]{};               // the constrained file
  char file[8]{};
  uint32_t area = 0;           // its record's area id
  std::vector<PcTcdb> tcdb;
};

// Whether the constrained byte ranges cover every byte of key k's
// segments (segs: the file's segment descriptors).
bool covers(const FmKdb& k, const uint8_t* segs, size_t seg_bytes, const std::vector<PcTcdb>& t) {
  if (k.seg_count == 0) return false;
  for (int j = 0; j < k.seg_count; ++j) {
    size_t at = 8 * (size_t(k.spare) + size_t(j));
    if (at + 8 > seg_bytes) return false;
    const auto& sg = rec::view<FmSdb>(const_cast<uint8_t*>(segs) + at);
    for (uint32_t b = sg.offset; b < uint32_t(sg.offset) + sg.length; ++b) {
      bool in = std::any_of(t.begin(), t.end(), [&](const PcTcdb& c) {
        return b >= c.offset && b < uint32_t(c.offset) + c.length;
      });
      if (!in) return false;
    }
  }
  return true;
}

// The first key without duplicates of the constrained file whose every byte
// the constraints fix: its number, or -1.
int whole_key(PcCtx* ctx, const ChildSet& cs) {
  EmHeader* em = ctx->em;
  char app[4] = {}, name[9] = {};
  std::memcpy(app, cs.app, 3);
  std::memcpy(name, cs.file, 8);
  EmCap* cap = pc_ap(app, ctx);
  EmCfi cfi;
  if (!cap || !pc_fi(cap, name, &cfi, ctx)) {
    checkstat(em->status, "bad cfi read", kMod, __LINE__);
    return -1;
  }
  uint32_t rid = cfi.fdb.kdb.off;
  if (!rid) return -1;
  uint8_t* kr = MADDR(em->kdb.get(), rid);
  uint32_t klen = kr ? em->kdb->len_read.get() : 0;
  if (!kr) {
    checkstat(em->kdb->status, "bad kdb read", kMod, __LINE__);
    return -1;
  }
  std::vector<uint8_t> keys(kr, kr + klen);
  uint32_t sno = keys.size() >= 12 ? rec::view<FmKdb>(keys.data()).segs.off.get() : 0;
  uint8_t* sr = sno ? MADDR(em->sdb.get(), sno) : nullptr;
  if (!sr) {
    checkstat(em->sdb->status, "bad sdb read", kMod, __LINE__);
    return -1;
  }
  std::vector<uint8_t> segs(sr, sr + em->sdb->len_read.get());
  for (size_t i = 0; i < size_t(cfi.fdb.key_count) && 12 * (i + 1) <= keys.size(); ++i) {
    const auto& k = rec::view<FmKdb>(keys.data() + 12 * i);
    if (k.flags & FM_KEY_DUP) continue;
    if (covers(k, segs.data(), segs.size(), cs.tcdb)) return k.key_no;
  }
  return -1;
}

// attach_cns: the child's two arrays as two records of the module's
// constant file, in the order of the constrained fields, and the rest of
// its constraint fields. False when they cannot be written (the compile
// fails: the child must never run without its constraints).
bool attach_cns(PcCtx* ctx, ChildSet& cs) {
  if (!cs.child || cs.failed || cs.tcdb.empty()) return true;
  std::stable_sort(cs.tcdb.begin(), cs.tcdb.end(),
                   [](const PcTcdb& a, const PcTcdb& b) { return a.order.get() < b.order.get(); });
  size_t n = cs.tcdb.size();
  if (16 * n > FM_MAX_REC) {
    checkstat(FM_ST_SYS, "write failed", kMod, __LINE__);
    return false;
  }
  PcBuf<FmCns> pos(6 * n);
  PcBuf<PiCnsDesc> desc(16 * n);
  uint32_t at = 0;
  uint8_t flags = 0;
  for (size_t i = 0; i < n; ++i) {
    const PcTcdb& t = cs.tcdb[i];
    FmCns& p = pos.p[i];
    p.id = t.order;
    p.offset = t.offset;
    p.length = t.length;
    PiCnsDesc& d = desc.p[i];
    d.value_at = at;
    d.src_off = uint16_t(t.src_off.get());
    d.src = t.src;
    d.length = t.length;
    d.in_use = 1;
    d.key = t.flag;
    d.source = t.source;
    at += t.length;
    if (t.flag) flags |= 2;
  }
  EmCchld* c = cs.child;
  uint32_t pn = pc_put_cnst(ctx->em, pos.bytes(), uint16_t(6 * n), 0);
  uint32_t dn = pc_put_cnst(ctx->em, desc.bytes(), uint16_t(16 * n), 0);
  if (!pn || !dn) {
    checkstat(ctx->em->cnst ? ctx->em->cnst->status.get() : 0u, "write failed", kMod, __LINE__);
    return false;
  }
  PiInvoc& v = c->invoc;
  v.cns_count = uint32_t(n);
  v.cns_positions.off = pn;
  v.cns_descs.off = dn;
  v.cns_total = at;
  v.cns_values.reset();
  std::memcpy(v.pcf_app.data(), cs.app, 3);
  v.pcf_file = cs.area;
  c->cns_flags = uint8_t(c->cns_flags | flags);
  int k = whole_key(ctx, cs);
  c->whole_key = k >= 0 ? 1 : 0;
  c->whole_key_no = k >= 0 ? uint8_t(k) : uint8_t(0);
  return true;
}

// One selection line of a child: its constraints added to the set, or
// false after its compile error.
bool slct_line(PcCtx* ctx, ChildSet& cs, const DSelect& s) {
  EmHeader* em = ctx->em;
  CElem left;
  std::string lapp = cstr(s.l_app.data(), 3), lfld = cstr(s.l_field.data(), 22);
  if (!pc_fld(lapp.c_str(), lfld.c_str(), s.l_occ ? s.l_occ.get() : 1, &left, ctx)) {
    pc_add_cmpl_err(ctx, kPcErrSelect, &s, em->status, s.l_field.data(), 22);
    return false;
  }
  // The constrained field is a field of the child's file; all of one
  // child's are of one file.
  if (left.source != 1) {
    pc_add_cmpl_err(ctx, kPcErrSelect, &s, kPcNoField, s.l_field.data(), 22);
    return false;
  }
  if (cs.tcdb.empty() && !cs.area) {
    std::memcpy(cs.app, s.l_app.data(), 3);
    std::memcpy(cs.file, left.e.file.data(), 8);
    cs.area = left.e.area;
  } else if (std::memcmp(cs.app, s.l_app.data(), 3) != 0 || std::memcmp(cs.file, left.e.file.data(), 8) != 0) {
    if (!cs.failed) child_err(ctx, s, kPcCnsTwoFiles);
    cs.failed = true;
    return false;
  }
  uint16_t lsize = left.e.length;
  uint32_t loff = left.field_offset;
  uint8_t flag = s.text_kind == '1' ? 1 : 0;
  auto add = [&](uint16_t order, uint32_t off, uint16_t len, uint8_t source, uint32_t src, uint32_t src_off) {
    PcTcdb t;
    t.order = order;
    t.offset = uint16_t(off);
    t.length = len;
    t.flag = flag;
    t.source = source;
    t.src = src;
    t.src_off = src_off;
    cs.tcdb.push_back(t);
  };
  if (s.r_app.blank()) {
    uint32_t cn = cnst_of(ctx, left, s.r_value.data());
    if (!cn) {
      pc_add_cmpl_err(ctx, kPcErrSelect, &s, kPcBadSlctValue, s.r_value.data(), 22);
      return false;
    }
    add(uint16_t(left.e.number.get()), loff, lsize, kPiCnsConst, cn, 0);
    return true;
  }
  CElem right;
  std::string rapp = cstr(s.r_app.data(), 3), rfld = cstr(s.r_value.data(), 22);
  if (!pc_fld(rapp.c_str(), rfld.c_str(), s.r_occ ? s.r_occ.get() : 1, &right, ctx)) {
    pc_add_cmpl_err(ctx, kPcErrSelect, &s, em->status, s.r_value.data(), 22);
    return false;
  }
  // A field of this process's own record is read there (the change
  // cascade gathers it from the new record, then compares the old);
  // any other through its area.
  bool in_pcf = right.source == 1 && em->pcf_file && right.reference == em->pcf_file;
  uint8_t source = in_pcf ? kPiCnsFromPcf : kPiCnsFromArea;
  uint32_t src = in_pcf ? 0 : uint32_t(right.ira);
  uint32_t rbase = in_pcf ? uint32_t(right.field_offset) : 0;
  bool group = left.e.kind == 2 || right.e.kind == 2;
  if (!group) {
    add(uint16_t(left.e.number.get()), loff, std::min(lsize, right.e.length.get()), source, src, rbase);
    return true;
  }
  // A group on either side: one constraint per pair of corresponding
  // member fields.
  FmFdb mf;
  INIT_FDB(&mf, FM_CLASS_MEMORY, sizeof(PcMap), 0, nullptr, 0);
  INIT_UNIQUE_PATH(&mf, "PC", "MP", FM_PT_DATA);
  if (!FM_CREATE(&mf, com.depth, 0, 0, 15, 15)) {
    checkstat(mf.status, "can't create MAP file", kMod, __LINE__);
    return false;
  }
  FmArb* map = mf.handle.get();
  PcMapCtl b;
  std::memcpy(b.ver, ctx->ver, 2);
  std::memcpy(b.src_app, s.r_app.data(), 3);
  std::memcpy(b.src_elem, right.e.name.data(), 22);
  std::memcpy(b.dst_app, s.l_app.data(), 3);
  std::memcpy(b.dst_elem, left.e.name.data(), 22);
  b.map = map;
  bool ok = pc_bld_map(&b) == 1;
  if (ok) {
    // Offsets of the members relative to their groups' own.
    int32_t lgrp = left.e.offset, rgrp = right.e.offset;
    PcBuf<PcMap> m;
    PROTO_FULL(map, 0, m.bytes());
    map->op = FM_OP_FIRST;
    if (!fm_start(map)) checkstat(map->status, "can't start map file", kMod, __LINE__);
    map->op = 0;
    while (fm_rdnxt(map)) {
      if (m->src_off < 0 || m->dst_off < 0 || m->dst_off < lgrp || m->src_off < rgrp) continue;
      uint32_t dst = loff + uint32_t(m->dst_off - lgrp);
      uint32_t from = rbase + uint32_t(m->src_off - rgrp);
      add(m->dst_fld, dst, m->length, source, src, from);
    }
  }
  if (!FM_CLOSE(map, FM_CL_SCRATCH)) checkstat(map->status, "can't scratch map file", kMod, __LINE__);
  return ok;
}

}  // namespace

int pc_slct(PcCtx* ctx) {
  bool ok = true;
  ChildSet cs;
  Owner cur;
  bool have = false, skip = false;
  for (const std::vector<uint8_t>& raw : pc_src_records(ctx, kSrcSelect, sizeof(DSelect))) {
    PcBuf<DSelect> sb;
    std::memset(sb.bytes(), ' ', sizeof(DSelect));
    std::memcpy(sb.bytes(), raw.data(), std::min(raw.size(), sizeof(DSelect)));
    const DSelect& s = *sb;
    if (!of_child(s)) continue;
    Owner o = owner_of(s);
    if (!have || !(o == cur)) {
      if (!attach_cns(ctx, cs)) ok = false;
      cs = ChildSet{};
      cur = o;
      have = true;
      // Lines of a selection that belongs to no compiled child are passed
      // over.
      EmCfrm* fr = pc_find_cfrm(ctx, o.code, o.frame);
      EmCimg* im = fr && o.image ? pc_find_cimg(ctx, fr, o.image) : nullptr;
      cs.child = fr && (!o.image || im) ? pc_find_cchld(ctx, fr, im, o.child, o.disc) : nullptr;
      skip = cs.child == nullptr;
    }
    if (skip) continue;
    if (!slct_line(ctx, cs, s)) ok = false;
  }
  if (!attach_cns(ctx, cs)) ok = false;
  return ok ? 1 : 0;
}
