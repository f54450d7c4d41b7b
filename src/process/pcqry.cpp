// Step 10 of the process compiler: a Query process's own selection lines
// and sort lines become the module's QSLCT and QSORT sub-files, the default
// criteria the query executor copies into the user's query files. See
// pc.h.
#include <cstring>

#include "foundation/cv.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pbutil.h"
#include "process/pc.h"

namespace {

constexpr const char* kMod = "PCQRY.C";

// Calls each(record) for the records of dictionary source `slot` of the
// compiled process, in key order; each returns false to stop.
template <class T, class F>
void each_src(PcCtx* ctx, int slot, F each) {
  for (const std::vector<uint8_t>& rec : pc_src_records(ctx, slot, sizeof(T))) {
    T r;
    std::memset(static_cast<void*>(&r), ' ', sizeof r);
    std::memcpy(static_cast<void*>(&r), rec.data(), rec.size());
    if (!each(r)) break;
  }
}

std::string cstr(const char* p, size_t n) {
  std::string s(p, n);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// VERIFY_REL: relations 1-7 and 255 (none).
bool verify_rel(uint8_t r) { return (r >= 1 && r <= 7) || r == 255; }
// VERIFY_LOG: a logic flag is '0', '1' or blank.
bool verify_log(char c) { return c == '0' || c == '1' || c == ' '; }

// A selection value under the left field's conversion: 1 when it converts
// (or stands for a blank value), 0 when not.
bool value_converts(PcCtx* ctx, const CElem& left, const char* value) {
  if (ut_is_all(value, ' ', 30) || std::memcmp(value, "\" \"", 3) == 0) return true;
  const DElem& e = left.e;
  if (e.token_mark) {
    // A numeric token field names a token, looked up when the query runs;
    // an alpha one takes the token's number: 3, 5 or 10 digits for a
    // field of 1, 2 or more bytes.
    if (e.type != 1) return true;
    size_t most = e.length <= 1 ? 3 : e.length == 2 ? 5 : 10;
    size_t n = 0;
    while (n < 30 && value[n] >= '0' && value[n] <= '9') ++n;
    return n > 0 && n <= most && ut_is_all(value + n, ' ', 30 - n);
  }
  CvBlock blk;
  char app[4] = {}, ver[3] = {};
  std::memcpy(app, ctx->app, 3);
  std::memcpy(ver, ctx->ver, 2);
  if (!cv_get_cnv(&blk, &e, app, ver)) {
    checkstat(blk.msg, "cv_get_cnv() - bad delem", kMod, __LINE__);
    return false;
  }
  bool num = e.type == 5 || e.type == 8 || e.type == 12;
  size_t used = 30;
  while (used > 0 && value[used - 1] == ' ') --used;
  if (num && blk.item->ext_len.get() < used) blk.item->ext_len = uint16_t(used);
  size_t n = std::max<size_t>(size_t(e.length), 30) + 1;
  PcBuf<char> buf(n + 256);
  std::memset(buf.p, ' ', n + 256);
  std::memcpy(buf.p, value, 30);
  cv_set_addr(&blk, nullptr, buf.p);
  int in_com = 0;
  return cv_get_universal(&blk, 0, &in_com, ctx->pool) == 1;
}

// One selection line of the query: 1 written, 0 refused (its errors added).
bool qry_line(PcCtx* ctx, const DSelect& s) {
  EmHeader* em = ctx->em;
  CElem left;
  std::string lapp = cstr(s.l_app.data(), 3), lfld = cstr(s.l_field.data(), 22);
  if (!pc_fld(lapp.c_str(), lfld.c_str(), s.l_occ ? s.l_occ.get() : 1, &left, ctx)) {
    if (em->status != kPcNoApp) pc_add_cmpl_err(ctx, kPcErrSelect, &s, em->status, s.l_field.data(), 22);
    return false;
  }
  bool ok = true;
  if (s.r_app.blank()) {
    if (!value_converts(ctx, left, s.r_value.data())) {
      pc_add_cmpl_err(ctx, kPcErrSelect, &s, kPcBadSlctValue, s.r_value.data(), 22);
      ok = false;
    }
  } else {
    CElem right;
    std::string rapp = cstr(s.r_app.data(), 3), rfld = cstr(s.r_value.data(), 22);
    if (!pc_fld(rapp.c_str(), rfld.c_str(), s.r_occ ? s.r_occ.get() : 1, &right, ctx)) {
      pc_add_cmpl_err(ctx, kPcErrSelect, &s, em->status, s.r_value.data(), 22);
      ok = false;
    }
  }
  if (!verify_rel(s.relation)) {
    pc_add_cmpl_err(ctx, kPcErrSelect, &s, kPcBadRelation, s.l_field.data(), 22);
    ok = false;
  }
  if (!ok) return false;
  PcBuf<PbQslct> q_buf;
  PbQslct& q = *q_buf;
  std::memset(q_buf.bytes(), ' ', sizeof q);
  std::memcpy(q.app.data(), em->app.data(), 3);
  q.name = em->proc_name;
  q.kind = s.text_kind == 9 ? 9 : 8;
  q.line = s.line;
  q.l_occ = s.l_occ ? s.l_occ.get() : uint16_t(1);
  q.l_app = s.l_app;
  q.l_field = s.l_field;
  q.r_occ = s.r_occ ? s.r_occ.get() : uint16_t(1);
  q.r_app = s.r_app;
  q.r_value = s.r_value;
  q.relation = s.relation;
  // A kind-9 line is always on; a kind-8 line without a relation, or
  // without a right field and value, is off.
  bool off = q.kind == 8 && (s.relation == 255 || (s.r_app.blank() && ut_is_all(s.r_value.data(), ' ', 3)));
  q.on = off ? '0' : '1';
  q.mentioned = '0';
  FmArb* f = em->qslct.get();
  PROTO_FULL(f, 0, q_buf.bytes());
  if (!fm_write(f)) checkstat(f->status, "bad qslct write", kMod, __LINE__);
  return true;
}

// One sort line: 1 written, 0 refused (its errors added), -1 passed over.
int qry_sort(PcCtx* ctx, const DSort& s) {
  EmHeader* em = ctx->em;
  // A line of a frame goes with that frame's compile; one whose frame did
  // not compile is passed over.
  if ((s.frame_code || s.frame_no) && !pc_find_cfrm(ctx, s.frame_code, s.frame_no)) return -1;
  bool ok = true;
  uint16_t occ = 1;
  if (s.occ > 65534u) {
    pc_add_cmpl_err(ctx, kPcErrSort, &s, kPcOccHigh, s.field.data(), 22);
    ok = false;
  } else if (s.occ) {
    occ = s.occ;
  }
  if (!s.field.blank()) {
    CElem ce;
    std::string app = cstr(s.app.data(), 3), fld = cstr(s.field.data(), 22);
    if (!pc_fld(app.c_str(), fld.c_str(), occ, &ce, ctx)) {
      pc_add_cmpl_err(ctx, kPcErrSort, &s, em->status, s.field.data(), 22);
      ok = false;
    }
  }
  for (int i = 0; i < 5; ++i)
    if (!verify_log(s.flag70[i][0])) {
      pc_add_cmpl_err(ctx, kPcErrSort, &s, kPcBadFlag, s.field.data(), 22);
      ok = false;
      break;
    }
  if (!verify_log(s.brk[0])) {
    pc_add_cmpl_err(ctx, kPcErrSort, &s, kPcBadFlag, s.field.data(), 22);
    ok = false;
  }
  if (!ok) return 0;
  PcBuf<PbQsort> q_buf;
  PbQsort& q = *q_buf;
  std::memset(q_buf.bytes(), ' ', sizeof q);
  std::memcpy(q.app.data(), em->app.data(), 3);
  q.name = em->proc_name;
  q.seq = s.field.blank() ? 0u : s.seq.get();
  q.f_app = s.app;
  q.field = s.field;
  q.occ = occ;
  q.order[0] = s.order[0] == '-' ? '-' : '+';
  for (int i = 0; i < 5; ++i) q.flags70[i] = s.flag70[i];
  if (s.field.blank()) q.flags70[1][0] = '1';
  q.z75.set("000");
  for (int i = 0; i < 6; ++i) q.flags78[i][0] = s.b75[3 + i];
  q.z84.set("000");
  // A line switched off in its definition is not sorted on.
  q.sorted[0] = s.brk[0] == '0' ? '0' : '1';
  q.b88[0] = '0';
  FmArb* f = em->qsort.get();
  PROTO_FULL(f, 0, q_buf.bytes());
  if (!fm_write(f)) checkstat(f->status, "bad qsort write", kMod, __LINE__);
  return 1;
}

}  // namespace

int pc_qry(PcCtx* ctx) {
  EmHeader* em = ctx->em;
  if (!em->qslct || !em->qsort) {
    checkstat(200650, "query sub-files missing", kMod, __LINE__);
    return 0;
  }
  bool ok = true;
  each_src<DSelect>(ctx, kSrcSelect, [&](const DSelect& s) {
    // A line of a child invocation constrains the child (pc_slct).
    if (s.frame_code || s.frame_no || s.image_no || s.b40) return true;
    if (!qry_line(ctx, s)) ok = false;
    return true;
  });
  each_src<DSort>(ctx, kSrcSort, [&](const DSort& s) {
    if (qry_sort(ctx, s) == 0) ok = false;
    return true;
  });
  return ok ? 1 : 0;
}
