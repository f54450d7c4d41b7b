// The child compile: CHILD records into CCHLD records, each a ready
// invocation with the entries of its event points 61 and 62, and the
// standard report children of Output and Inquiry processes. See pc.h.
#include <cstring>

#include "files/dictrec.h"
#include "foundation/os.h"
#include "process/pc.h"

namespace {

constexpr const char* kMod = "PCCHLD.C";

void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

uint8_t one(const rec::Text<1>& t) { return t[0] == '1' ? 1 : 0; }

FmArb* src(PcCtx* ctx, int slot) {
  return ctx->cap && ctx->cap->src[slot] ? static_cast<FmArb*>(arena::at(ctx->cap->src[slot])) : nullptr;
}

bool write_cchld(PcCtx* ctx, EmCchld& r, const char* text) {
  FmArb* f = ctx->em->cchld.get();
  PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(&r));
  if (fm_write(f)) return true;
  checkstat(f->status, text, kMod, __LINE__);
  return false;
}

// The invocation fields every child shares: no surfaces, no parent, no
// constraint yet.
void invoc_base(PiInvoc& v) {
  std::memset(static_cast<void*>(&v), 0, sizeof v);
  v.reserved_text.clear();
  v.query_app.clear();
  v.query_name.clear();
  v.pcf_app.clear();
}

// A standard report child of frame `fr` (its first and last child).
void standard_child(PcCtx* ctx, uint32_t* seq, EmCfrm* fr, const char* app, const char* ver, const char* name,
                    const char* text) {
  PcBuf<EmCchld> rb;
  EmCchld& r = *rb;
  r.seq = ++*seq;
  r.frame_seq = fr->seq;
  fr->first_chld = uint16_t(r.seq);
  fr->last_chld = uint16_t(r.seq);
  PiInvoc& v = r.invoc;
  invoc_base(v);
  v.app.set(std::string_view(app, 3));
  v.ver.set(std::string_view(ver, 2));
  v.type = 3;
  v.name.set(std::string_view(name, strnlen(name, 30)));
  v.caller_mode = 1;
  v.child_fail_mode = 3;
  v.reserved2 = 255;
  v.key_path = 255;
  v.query_reuse = 1;
  for (auto& e : r.eps) e = 0xFFFFu;
  write_cchld(ctx, r, text);
}

}  // namespace

int pc_chld(PcCtx* ctx) {
  EmHeader* em = ctx->em;
  em->n_children = 0;
  FmArb* cchld = em->cchld.get();
  if (!cchld) return 1;
  const int type = em->proc_type;
  const bool report = type == 3 || type == 9;
  if (!src(ctx, kSrcChild) && !report) return 1;
  int ok = 1;
  uint32_t seq = 0;
  FmArb* stmts = src(ctx, kSrcStmt);
  for (const auto& raw : pc_src_records(ctx, kSrcChild, sizeof(DChild))) {
    PcBuf<DChild> cb;
    std::memcpy(cb.bytes(), raw.data(), raw.size() < sizeof(DChild) ? raw.size() : sizeof(DChild));
    const DChild& c = *cb;
    EmCfrm* fr = pc_find_cfrm(ctx, c.frame_code, c.frame_no);
    if (!fr) continue;
    EmCimg* im = c.image_no ? pc_find_cimg(ctx, fr, c.image_no) : nullptr;
    if (c.kind > 2) {
      sys_err(__LINE__, "pc_chld() - invalid invocation type");
      continue;
    }
    PcBuf<EmCchld> rb;
    EmCchld& r = *rb;
    r.seq = ++seq;
    r.frame_seq = fr->seq;
    r.child_no = c.child_no;
    r.image_seq = im ? uint32_t(im->seq) : 0u;
    r.disc = c.disc;
    PiInvoc& v = r.invoc;
    invoc_base(v);
    v.app = c.ch_app;
    char capp[4] = {};
    std::memcpy(capp, c.ch_app.data(), 3);
    if (EmCap* cap = pc_ap(capp, ctx)) v.ver = cap->ver;
    v.type = c.ch_type;
    v.name = c.ch_name;
    v.kind = c.kind;
    v.caller_mode = c.caller_mode;
    v.child_fail_mode = c.reaction;
    v.independent = one(c.flag86);
    v.query_edit_mode = one(c.flag87);
    std::memcpy(v.reserved_text.data(), c.label.data(), 2);
    v.reserved2 = c.b113;
    v.key_path = 255;
    v.query_app = c.q_app;
    v.query_name = c.q_name;
    v.reserved3 = one(c.flag150);
    v.query_reuse = c.q_reuse;
    r.display = c.display;
    r.flag114 = one(c.flag114);
    r.flag115 = one(c.flag115);
    // A constraint field must be a key: otherwise the child is left out
    // (its sequence stays used) and the compile goes on.
    if (!c.cns_app.blank()) {
      char app[4] = {}, fld[23] = {};
      std::memcpy(app, c.cns_app.data(), 3);
      std::memcpy(fld, c.cns_field.data(), 22);
      CElem ce;
      if (!pc_fld(app, fld, 1, &ce, ctx)) {
        pc_add_cmpl_err(ctx, kPcErrChild, &c, em->status, c.cns_field.data(), 22);
        ++ctx->kept_errors;
        continue;
      }
      if (ce.e.key_kind == 255) {
        pc_add_cmpl_err(ctx, kPcErrChild, &c, kPcBadPcfKey, c.cns_field.data(), 22);
        ++ctx->kept_errors;
        continue;
      }
      v.key_path = ce.e.key_no;
      v.pcf_app = c.cns_app;
      v.pcf_file = ce.e.area;
    }
    // The frame's first and last child move only for a child written.
    if (!c.image_no) {
      if (fr->first_chld == 0) fr->first_chld = uint16_t(r.seq);
      fr->last_chld = uint16_t(r.seq);
    }
    if (im && im->display < c.display) im->display = c.display;
    // Statements 61 and 62: a frame child's by its number, an image
    // child's by its discriminator.
    uint8_t prefix[44];
    pc_stmt_prefix(ctx, c.frame_code, c.frame_no, c.image_no, c.disc, c.image_no ? 0 : uint32_t(c.child_no), prefix);
    if (!pc_owner_stmts(ctx, stmts, prefix, 44, uint16_t(r.seq), 61, 2, r.eps)) {
      ok = 0;
      ctx->failed = true;
    }
    write_cchld(ctx, r, "child write failed");
  }
  if (report) {
    EmCap* rt = pc_ap("0LA", ctx);
    if (!rt) {
      sys_err(__LINE__, "pc_chld - can't find runtime application");
    } else {
      char ver[2];
      std::memcpy(ver, rt->ver.data(), 2);
      const DProc& d = ctx->def;
      bool b382_blank = d.b382[0] == ' ';
      if (!(d.flag380[0][0] != '1' && d.flag380[1][0] != '1' && b382_blank)) {
        if (EmCfrm* f = pc_find_cfrm(ctx, 10, 0))
          standard_child(ctx, &seq, f, "0LA", ver, "STANDARD PAGE HEADING", "standard page heading child write failed");
        else sys_err(__LINE__, "pc_chld - can't find std pgh frame");
      }
      if (!(d.flag380[1][0] != '1' && b382_blank)) {
        if (EmCfrm* f = pc_find_cfrm(ctx, 11, 0))
          standard_child(ctx, &seq, f, "0LA", ver, "STANDARD COLUMN HEADING",
                         "standard column heading child write failed");
        else sys_err(__LINE__, "pc_chld - can't find std colh frame");
      }
      // Report frames that ask for a standard child (byte 69), whatever
      // their byte 70 holds (the generated frames ask for none).
      FmArb* cfrm = em->cfrm.get();
      std::vector<uint32_t> want;
      {
        PcBuf<EmCfrm> kb;
        PROTO_FULL(cfrm, 0, kb.bytes());
        cfrm->op = FM_OP_FIRST;
        fm_start(cfrm);
        cfrm->op = 0;
        while (auto* f = reinterpret_cast<EmCfrm*>(fm_rdnxt_fast(cfrm, 0)))
          if (f->b99 != 0) want.push_back(f->seq);
      }
      for (uint32_t fs : want) {
        PcBuf<EmCfrm> kb;
        kb->seq = fs;
        PROTO_FULL(cfrm, 0, kb.bytes());
        auto* f = reinterpret_cast<EmCfrm*>(fm_read_fast(cfrm, 0));
        if (!f) continue;
        const char* name = nullptr;
        if (f->code == 1 && f->b99 == 1) name = "STANDARD SUBHEADING";
        else if (f->code == 1 && f->b99 == 2) name = "STANDARD COLUMN HEADING";
        else if (f->code == 2 && f->b99 == 1) name = "STANDARD SUBTOTAL";
        else if (f->code == 3 && f->b99 == 1) name = "STANDARD PAGE HEADING";
        else if (f->code == 3 && f->b99 == 2) name = "STANDARD COLUMN HEADING";
        // No standard child of that kind: nothing is written, and the frame
        // keeps its children and images.
        if (!name) continue;
        f->first_img = 0;
        f->last_img = 0;
        standard_child(ctx, &seq, f, "0LA", ver, name, "standard type child write failed");
      }
      if (pc_has_rpt_proc(ctx)) {
        EmCfrm* f = pc_find_cfrm(ctx, 13, 0);
        char app[4] = {};
        std::memcpy(app, d.rpt_app.blank() ? em->app.data() : d.rpt_app.data(), 3);
        EmCap* rc = f ? pc_ap(app, ctx) : nullptr;
        if (!f) sys_err(__LINE__, "pc_chld - can't find rpt proc frame");
        else if (!rc) sys_err(__LINE__, "pc_chld - can't find rpt proc application");
        else {
          char name[31] = {};
          std::memcpy(name, d.rpt_name.data(), 30);
          standard_child(ctx, &seq, f, app, rc->ver.data(), name, "report process child write failed");
        }
      }
    }
  }
  em->n_children = uint16_t(seq);
  return ok;
}
