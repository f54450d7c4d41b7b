// The frame compile: FRAME records into CFRM (with the standard report
// frames of Output and Inquiry processes), and the helpers the screen
// compiles share. See pc.h.
#include <cstring>
#include <vector>

#include "files/dictrec.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pc.h"

namespace {

constexpr const char* kMod = "PCFRM.C";

void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

uint8_t one(const rec::Text<1>& t) { return t[0] == '1' ? 1 : 0; }

bool type_in(int t, std::initializer_list<int> list) {
  for (int x : list)
    if (x == t) return true;
  return false;
}

FmArb* src(PcCtx* ctx, int slot) {
  return ctx->cap && ctx->cap->src[slot] ? static_cast<FmArb*>(arena::at(ctx->cap->src[slot])) : nullptr;
}

bool write_cfrm(PcCtx* ctx, EmCfrm& r, const char* text) {
  FmArb* f = ctx->em->cfrm.get();
  PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(&r));
  if (fm_write(f)) return true;
  checkstat(f->status, text, kMod, __LINE__);
  return false;
}

// A standard report frame: its code, number 0, one row and column at 1, 1.
void standard_frame(PcCtx* ctx, uint32_t* seq, uint8_t code, const char* text) {
  PcBuf<EmCfrm> r;
  r->code = code;
  r->seq = ++*seq;
  r->mode = 1;
  for (auto& p : r->pos) p = 1;
  r->b100 = 255;
  r->grp_app.clear();
  r->grp_name.clear();
  for (auto& e : r->eps) e = 0xFFFFu;
  write_cfrm(ctx, *r, text);
}

}  // namespace

// ------------------------------------------------------------ helpers --
std::vector<std::vector<uint8_t>> pc_src_records(PcCtx* ctx, int slot, size_t rec_len) {
  std::vector<std::vector<uint8_t>> out;
  FmArb* a = src(ctx, slot);
  if (!a) return out;
  PcBuf<uint8_t> buf(rec_len + 16);
  uint8_t key[31];
  key[0] = ctx->em->proc_type;
  std::memcpy(key + 1, ctx->em->proc_name.data(), 30);
  std::memcpy(buf.bytes(), key, 31);
  int started = fm_start_at(a, 0, buf.bytes(), buf.bytes(), 31);
  if (!started) return out;
  for (;;) {
    std::memset(buf.bytes(), ' ', buf.size());
    a->rec_len = uint16_t(rec_len);
    int got = fm_rdnxt(a);
    a->rec_len = 0;
    if (!got || std::memcmp(buf.bytes(), key, 31) != 0) break;
    size_t n = a->len_read ? a->len_read : rec_len;
    if (n > rec_len) n = rec_len;
    out.emplace_back(buf.bytes(), buf.bytes() + n);
  }
  return out;
}

void pc_stmt_prefix(const PcCtx* ctx, uint8_t code, uint32_t frame_no, uint8_t image_no, uint8_t disc,
                    uint32_t child_no, uint8_t* prefix) {
  std::memset(prefix, 0, 44);
  prefix[0] = ctx->em->proc_type;
  std::memcpy(prefix + 1, ctx->em->proc_name.data(), 30);
  prefix[31] = code;
  rec::view<rec::U32>(prefix + 32) = frame_no;
  prefix[36] = image_no;
  prefix[37] = disc;
  prefix[38] = prefix[39] = ' ';
  rec::view<rec::U32>(prefix + 40) = child_no;
}

int pc_owner_stmts(PcCtx* ctx, FmArb* stmts, const uint8_t* prefix, int prefix_len, uint16_t owner, int first,
                   int count, rec::U32* out) {
  for (int i = 0; i < count; ++i) out[i] = 0xFFFFu;
  PcStmtCompiler fn = pc_stmt_compiler();
  if (!stmts || !fn) return 1;
  ctx->owner = owner;
  int ok = fn(ctx, stmts, prefix, prefix_len);
  if (ok < 0) return 1;
  if (!ok) return 0;
  for (int i = 0; i < count; ++i) {
    CodeRef c = ctx->sc.ep_start[first + i];
    out[i] = uint32_t(c.block) | uint32_t(c.offset) << 16;
  }
  return 1;
}

// -------------------------------------------------------------- pc_frm --
int pc_frm(PcCtx* ctx) {
  EmHeader* em = ctx->em;
  FmArb* cfrm = em->cfrm.get();
  if (!cfrm) return 1;
  const int type = em->proc_type;
  uint32_t errors_before = ctx->errors;
  uint32_t seq = 0;
  bool interactive_seen = false;
  FmArb* stmts = src(ctx, kSrcStmt);
  for (const auto& raw : pc_src_records(ctx, kSrcFrame, sizeof(DFrame))) {
    PcBuf<DFrame> fb;
    std::memset(fb.bytes(), ' ', sizeof(DFrame));
    std::memcpy(fb.bytes(), raw.data(), raw.size());
    const DFrame& f = *fb;
    PcBuf<EmCfrm> rb;
    EmCfrm& r = *rb;
    r.code = f.frame_code;
    r.number = f.frame_no;
    r.seq = ++seq;
    r.mode = f.mode;
    bool never_interactive = type_in(type, {4, 7, 8, 10}) || (type == 3 && f.frame_code != 14);
    r.interactive = never_interactive ? 0 : one(f.interactive);
    for (int i = 0; i < 4; ++i) r.pos[i] = f.pos[i].get();
    r.scroll = f.stack;
    for (int i = 0; i < 3; ++i) r.flag85[i] = one(f.flag85[i]);
    r.b88 = f.b88;
    r.flag89 = one(f.flag89);
    for (int i = 0; i < 5; ++i) r.flag90[i] = one(f.flag90[i]);
    r.b95[0] = f.b95[0];
    r.b95[1] = f.b95[1];
    for (int i = 0; i < 2; ++i) r.flag97[i] = one(f.flag97[i]);
    r.b99 = f.b99;
    r.b100 = f.b100;
    for (int i = 0; i < 2; ++i) r.flag101[i] = one(f.flag101[i]);
    bool no_group = f.grp_name.blank();
    r.grp_app.clear();
    if (!no_group) r.grp_app = f.grp_app;
    r.grp_name = f.grp_name;
    r.grp_no = no_group && f.grp_app.blank() ? uint16_t(0) : (f.grp_no ? uint16_t(f.grp_no) : uint16_t(1));
    r.w132 = f.w132;
    for (auto& e : r.eps) e = 0xFFFFu;
    if (f.frame_code == 8 || f.frame_code == 9) {
      r.flag131 = one(f.flag131);
      PcBuf<char> text(800);
      std::memcpy(text.p, f.text.data(), 800);
      for (size_t i = 0; i < 800; ++i)
        if (text.p[i] == '\0') text.p[i] = ' ';
      uint16_t len = uint16_t(ut_buflen(text.p, 800));
      r.text_len = len;
      if (len) {
        uint32_t key = pc_put_cnst(em, text.p, len, 0);
        if (!key) sys_err(__LINE__, "bad cnst write");
        r.text_cnst = key;
      }
    }
    // Checks: the frame is still written.
    auto err = [&](uint32_t msg) { pc_add_cmpl_err(ctx, kPcErrFrame, &f, msg, nullptr, 0); };
    if (f.mode < 1 || f.mode > 3) err(kPcFrameMode);
    if (f.frame_code == 12 || f.frame_code > 14) err(kPcFrameCode);
    if (f.stack > 4) err(kPcFrameStack);
    if (f.b99 > 2) err(kPcFrameB99);
    if (f.stack != 0 && interactive_seen) err(kPcStackAfter);
    if (r.interactive) interactive_seen = true;
    // Statements: event points 21-25 of the frame.
    uint8_t prefix[44];
    pc_stmt_prefix(ctx, f.frame_code, f.frame_no, 0, 0, 0, prefix);
    ctx->sc.flags &= uint8_t(~1u);
    if (!pc_owner_stmts(ctx, stmts, prefix, 44, uint16_t(r.seq), 21, 5, r.eps)) ctx->failed = true;
    else if (r.mode == 1 && (ctx->sc.flags & 1)) r.mode = 2;
    write_cfrm(ctx, r, "cfrm write failed");
  }
  // Output and Inquiry: the standard report frames.
  if (type == 3 || type == 9) {
    const DProc& d = ctx->def;
    bool b382_blank = d.b382[0] == ' ';
    if (!(d.flag380[0][0] != '1' && d.flag380[1][0] != '1' && b382_blank))
      standard_frame(ctx, &seq, 10, "cfrm write standard page heading failed");
    if (!(d.flag380[1][0] != '1' && b382_blank))
      standard_frame(ctx, &seq, 11, "cfrm write standard column heading failed");
    if (pc_has_rpt_proc(ctx)) standard_frame(ctx, &seq, 13, "cfrm write report process failed");
  }
  em->n_frames = uint16_t(seq);
  // Final pass: each frame names the next one (of its group, for the
  // report and query types).
  bool grouped = type_in(type, {3, 4, 7, 8, 9, 10});
  PcBuf<EmCfrm> kb;
  PROTO_FULL(cfrm, grouped ? 2 : 0, kb.bytes());
  cfrm->op = FM_OP_FIRST;
  fm_start(cfrm);
  cfrm->op = 0;
  EmCfrm* prev = nullptr;
  while (auto* r = reinterpret_cast<EmCfrm*>(fm_rdnxt_fast(cfrm, 0))) {
    if (prev) {
      bool same = !grouped || (prev->code == r->code && prev->grp_app == r->grp_app &&
                               prev->grp_name == r->grp_name && prev->grp_no == r->grp_no);
      prev->next = same ? uint32_t(r->seq) : 0u;
    }
    prev = r;
  }
  if (prev) prev->next = 0u;
  return ctx->errors == errors_before ? 1 : 0;
}

bool pc_has_rpt_proc(const PcCtx* ctx) {
  const DProc& d = ctx->def;
  if (d.rpt_name.blank()) return false;
  bool self = (d.rpt_app.blank() || std::memcmp(d.rpt_app.data(), ctx->em->app.data(), 3) == 0) &&
              std::memcmp(d.rpt_name.data(), ctx->em->proc_name.data(), 30) == 0;
  return !self;
}
