// File statements compiled: each verb's operands checked against the
// dictionary through the compiled references, its file's reference marked
// with what the statement does to it, and its instruction built (ibfi.h).
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "files/fm.h"
#include "language/ibfi.h"
#include "language/ibutil.h"
#include "language/scfam.h"
#include "process/pc.h"
#include "process/pigetd.h"

namespace {

// Compile messages of the file verbs.
constexpr uint32_t kSysWrite = 200180;     // a system application's file written
constexpr uint32_t kNoAppHere = 102260;    // application not part of the compile
constexpr uint32_t kNoFileHere = 102450;   // file not in the dictionary
constexpr uint32_t kBadPath = 103330;      // path type
constexpr uint32_t kBadMode = 102630;      // error mode above 3
constexpr uint32_t kBadHold = 102670;      // hold option above 2
constexpr uint32_t kBadShare = 102790;     // CREATE, OPEN option not '0'/'1'
constexpr uint32_t kBadClose = 102760;     // CLOSE option not '0'/'1'
constexpr uint32_t kBadRange = 102680;     // BEG AT, END AT range not 7/8
constexpr uint32_t kSingle = 102740;       // READNEXT, BEG AT, END AT on a single-record file
constexpr uint32_t kVarRewrite = 102780;   // REWRITE of a variable single-record or record-number file
constexpr uint32_t kNoDelete = 102590;     // DELETE on a file that is not keyed
constexpr uint32_t kKeyOnSingle = 102860;  // key named on a single-record file
constexpr uint32_t kKeyOnPlain = 102980;   // key named on a record-number file
constexpr uint32_t kNotKeyed = 102990;     // BEG READ, END READ on a file neither record-number nor keyed
constexpr uint32_t kNotKey = 103000;       // key field not a key of the file
constexpr uint32_t kNotNumber = 103010;    // record number not numeric

// Access bits of a compiled reference.
constexpr uint8_t kRead = 1, kWrite = 2, kRewrite = 4, kDelete = 8;

// The open BEG READ loops of the compile: one per application and file,
// with the exits END READ patches. Every loop of a file has the file's one
// cursor (a private area of kind 5 under the number of the file's control
// area): the loops of one file are nested only as one loop.
struct Loop {
  char app[3], file[8];
  uint32_t cursor;
  std::vector<CodeRef> exits;
  DStmt beg;
};
struct State {
  std::vector<Loop> loops;
};
State& state(ScCtx* sc) {
  auto& p = sc_fi_state(sc);
  if (!p) p = std::make_shared<State>();
  return *static_cast<State*>(p.get());
}

struct FiRef {
  EmCfi cfi;
  char app[4] = {};
  char file[9] = {};
};

// The file of a statement: 1, 0 after the compile error, 2 when the
// dictionary has no such file and `missing_ok` (IF EXIST).
int fi_ref(ScCtx* sc, const rec::Text<3>& app, const rec::Text<8>& file, FiRef* out, bool missing_ok = false) {
  PcCtx* pc = sc_pc(sc);
  std::memcpy(out->app, app.data(), 3);
  std::memcpy(out->file, file.data(), 8);
  EmCap* cap = pc_ap(out->app, pc);
  if (!cap) {
    if (missing_ok) return 2;
    bld_abort(sc_code(sc), kNoAppHere);
    sc_err(sc, kNoAppHere);
    return 0;
  }
  pc->em->status = 0;
  std::memset(static_cast<void*>(&out->cfi), 0, sizeof out->cfi);
  if (!pc_fi(cap, out->file, &out->cfi, pc)) {
    if (missing_ok) return 2;
    sc_err(sc, kNoFileHere);
    return 0;
  }
  if (out->cfi.fdb.path_type != FM_PT_DATA && out->cfi.fdb.path_type != FM_PT_STRUCT) {
    sc_err(sc, kBadPath);
    return 0;
  }
  if (!out->cfi.ctl_ira) {
    sc_err(sc, sc_msg(sc));
    return 0;
  }
  return 1;
}

// The stored reference changed as the statement needs it: opened at the
// start, the access bits, the must-open mark cleared when asked.
void mark(ScCtx* sc, FiRef* r, uint8_t access, bool clear_must) {
  FmArb* f = sc_pc(sc)->em->cfi.get();
  PcBuf<EmCfi> c;
  c->fdb.app = r->cfi.fdb.app;
  c->fdb.name = r->cfi.fdb.name;
  PROTO_FULL(f, 0, c.bytes());
  f->op = FM_OP_HOLD;
  int got = fm_read(f);
  f->op = 0;
  if (!got) return;
  c->use = uint8_t(c->use | 1);
  c->fdb.access = uint8_t(c->fdb.access | access);
  if (clear_must) c->one = 0u;
  if (fm_rewrite(f)) r->cfi = *c;
}

// A system application's file (but "0LA") is written only by a process of
// an application whose PARAM record says "UTL".
bool chk_ap(ScCtx* sc, const char* app) {
  if (!IS_ZUB_AP(app) || std::memcmp(app, "0LA", 3) == 0) return true;
  PcCtx* pc = sc_pc(sc);
  char a[4] = {}, v[3] = {};
  std::memcpy(a, pc->app, 3);
  std::memcpy(v, pc->ver, 2);
  const DParam* p = pi_get_dparm(a, v);
  if (p && p->utl == "UTL") return true;
  sc_err(sc, kSysWrite);
  return false;
}

bool mode_ok(ScCtx* sc, uint8_t mode) {
  if (mode <= 3) return true;
  sc_err(sc, kBadMode);
  return false;
}
bool hold_ok(ScCtx* sc, uint8_t hold) {
  if (hold <= 2) return true;
  sc_err(sc, kBadHold);
  return false;
}
// A '0'/'1' option, blank given as `dflt`.
bool yes_no(ScCtx* sc, rec::U8* v, uint8_t dflt, uint32_t msg) {
  if (*v == ' ' || *v == 0) *v = dflt;
  if (*v == '0' || *v == '1') return true;
  sc_err(sc, msg);
  return false;
}

// A key field of the file: its key number, type, length and offset. A
// blank name is the primary key (key 0).
struct Key {
  uint8_t no = 0, type = 0;
  uint16_t len = 0, pos = 0;
};
bool key_of(ScCtx* sc, const FiRef& r, const char* name22, Key* k) {
  if (ut_is_all(name22, ' ', 22)) return true;
  char name[23] = {};
  std::memcpy(name, name22, 22);
  CElem e;
  std::memset(static_cast<void*>(&e), 0, sizeof e);
  sc_pc(sc)->em->status = 0;
  if (!pc_fld(r.app, name, 1, &e, sc_pc(sc)) || e.e.key_no >= 255 || e.e.key_kind == 255 ||
      std::memcmp(e.e.file.data(), r.file, 8) != 0) {
    sc_err(sc, kNotKey);
    return false;
  }
  k->no = e.e.key_no;
  k->type = e.e.type;
  k->len = e.e.length;
  k->pos = e.e.offset;
  return true;
}

const FmFdb& fdb(const FiRef& r) { return r.cfi.fdb; }
int org(const FiRef& r) { return fdb(r).org; }
uint32_t entry(const FiRef& r) { return r.cfi.ctl_ira; }
int fail(ScCtx* sc) {
  sc_err(sc, sc_msg(sc));
  return 0;
}

bool same_owner(const DStmt& a, const DStmt& b) {
  return a.event_point == b.event_point && a.frame_no == b.frame_no && a.image_no == b.image_no &&
         a.child_no == b.child_no && a.child_disc == b.child_disc;
}

// The statement changed the process's own file: its own reads hold.
void pcf_hold(ScCtx* sc, const FiRef& r) {
  EmHeader* em = sc_pc(sc)->em;
  int t = em->proc_type;
  if ((t == 3 || t == 4 || t == 5 || t == 7 || t == 9) && fdb(r).app == em->pcf_app.view() &&
      r.cfi.file_no == em->pcf_file)
    em->b903 = 1;
}

}  // namespace

int cmpl_if_exist(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsFile>(st->ops.b);
  if (!mode_ok(sc, o.opt)) return 0;
  FiRef r;
  int got = fi_ref(sc, o.app, o.file, &r, true);
  if (!got) return 0;
  if (!bld_if_exist(sc_code(sc), sc_shift(sc), got == 1 ? entry(r) : 0, o.opt, got == 2)) return fail(sc);
  if (got == 1) mark(sc, &r, 0, true);
  return 1;
}

int cmpl_create(ScCtx* sc, DStmt* st) {
  auto o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  if (!yes_no(sc, &o.opt, '0', kBadShare) || !mode_ok(sc, o.mode) || !fi_ref(sc, o.app, o.file, &r)) return 0;
  if (!bld_create(sc_code(sc), sc_shift(sc), entry(r), o.opt, o.mode)) return fail(sc);
  mark(sc, &r, kRead | kWrite | kRewrite | kDelete, true);
  return 1;
}

int cmpl_scratch(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  if (!mode_ok(sc, o.opt) || !fi_ref(sc, o.app, o.file, &r)) return 0;
  if (!bld_scratch(sc_code(sc), sc_shift(sc), entry(r), o.opt)) return fail(sc);
  // A file to scratch need not be there when the process starts (its
  // SCRATCH then succeeds with 200340).
  mark(sc, &r, 0, true);
  return 1;
}

int cmpl_open(ScCtx* sc, DStmt* st) {
  auto o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  if (!yes_no(sc, &o.opt, '0', kBadShare) || !mode_ok(sc, o.mode) || !fi_ref(sc, o.app, o.file, &r)) return 0;
  uint32_t oldpath = 0;
  bool odo = fdb(r).app == "0DO";
  if (odo) {
    // The identity of a "0DO" file comes from "OLDPATH " of "0LA".
    FiRef p;
    rec::Text<3> la;
    la.set("0LA");
    rec::Text<8> name;
    name.set("OLDPATH ");
    if (!fi_ref(sc, la, name, &p)) return 0;
    mark(sc, &p, kRead, false);
    oldpath = entry(p);
  }
  if (!bld_open(sc_code(sc), sc_shift(sc), entry(r), oldpath, o.opt == '1' ? '1' : '0', o.mode)) return fail(sc);
  mark(sc, &r, odo ? 0 : uint8_t(kRead | kWrite | kRewrite | kDelete), true);
  return 1;
}

int cmpl_close(ScCtx* sc, DStmt* st) {
  auto o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  if (!yes_no(sc, &o.opt, '1', kBadClose) || !fi_ref(sc, o.app, o.file, &r)) return 0;
  if (!bld_close(sc_code(sc), entry(r), o.opt)) return fail(sc);
  mark(sc, &r, 0, false);
  return 1;
}

int cmpl_write(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  char app[4] = {};
  std::memcpy(app, o.app.data(), 3);
  if (!chk_ap(sc, app) || !mode_ok(sc, o.opt) || !fi_ref(sc, o.app, o.file, &r)) return 0;
  if (!bld_write(sc_code(sc), sc_shift(sc), entry(r), o.opt)) return fail(sc);
  mark(sc, &r, kWrite, false);
  return 1;
}

int cmpl_rewrite(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  char app[4] = {};
  std::memcpy(app, o.app.data(), 3);
  if (!chk_ap(sc, app) || !mode_ok(sc, o.opt) || !fi_ref(sc, o.app, o.file, &r)) return 0;
  if (fdb(r).var && (org(r) == FM_ORG_SINGLE || org(r) == FM_ORG_PLAIN)) {
    sc_err(sc, kVarRewrite);
    return 0;
  }
  if (!bld_rewrite(sc_code(sc), sc_shift(sc), entry(r), o.opt)) return fail(sc);
  mark(sc, &r, kRewrite, false);
  pcf_hold(sc, r);
  return 1;
}

int cmpl_delete(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  char app[4] = {};
  std::memcpy(app, o.app.data(), 3);
  if (!chk_ap(sc, app) || !fi_ref(sc, o.app, o.file, &r)) return 0;
  if (org(r) != FM_ORG_KEYED) {
    sc_err(sc, kNoDelete);
    return 0;
  }
  if (!bld_delete(sc_code(sc), entry(r))) return fail(sc);
  mark(sc, &r, kDelete, false);
  pcf_hold(sc, r);
  return 1;
}

int cmpl_read(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  if (!hold_ok(sc, o.opt) || !mode_ok(sc, o.mode) || !fi_ref(sc, o.app, o.file, &r)) return 0;
  Key k;
  bool named = !ut_is_all(o.key.data(), ' ', 22);
  if (org(r) == FM_ORG_SINGLE) {
    if (named) {
      sc_err(sc, kKeyOnSingle);
      return 0;
    }
  } else if (org(r) == FM_ORG_PLAIN) {
    // The record number: a numeric field (of the file's application) in
    // register 1.
    ScOpnd op;
    std::memset(static_cast<void*>(&op), ' ', sizeof op);
    op.occ = 0;
    op.occ_mode = 0;
    op.app = o.app;
    op.text = o.key;
    CElem e;
    std::memset(static_cast<void*>(&e), 0, sizeof e);
    int kind = 0;
    if (!named || !sc_cmpl_ref(sc, op, &e, 1, &kind, 0)) return sc_fail(sc, sc_msg(sc));
    uint8_t t = e.e.type;
    if (t != 5 && t != 8 && t != 12) {
      sc_err(sc, kNotNumber);
      return 0;
    }
    k.type = t;
    k.len = e.e.length;
    k.no = kIbFiRecordNo;
  } else if (!key_of(sc, r, o.key.data(), &k)) {
    return 0;
  }
  if (!bld_read(sc_code(sc), sc_shift(sc), entry(r), k.len, k.pos, k.no, k.type, SET_GFH_HOLD(o.opt), o.mode))
    return fail(sc);
  mark(sc, &r, kRead, false);
  return 1;
}

int cmpl_readnext(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  if (!hold_ok(sc, o.opt) || !mode_ok(sc, o.mode) || !fi_ref(sc, o.app, o.file, &r)) return 0;
  bool named = !ut_is_all(o.key.data(), ' ', 22);
  Key k;
  if (org(r) == FM_ORG_SINGLE) {
    sc_err(sc, kSingle);
    return 0;
  }
  if (org(r) == FM_ORG_PLAIN && named) {
    sc_err(sc, kKeyOnPlain);
    return 0;
  }
  if (org(r) == FM_ORG_KEYED && named && !key_of(sc, r, o.key.data(), &k)) return 0;
  if (!bld_readnext(sc_code(sc), sc_shift(sc), entry(r), named, k.no, k.len, k.pos, SET_GFH_HOLD(o.opt), o.mode))
    return fail(sc);
  mark(sc, &r, kRead, false);
  return 1;
}

namespace {
// BEG AT and END AT: the key value into register 1, as one segment.
int cmpl_at(ScCtx* sc, DStmt* st, bool end) {
  const auto& o = rec::view<ScOpsAt>(st->ops.b);
  uint32_t preset = sc_msg(sc);
  if (o.rel != 7 && o.rel != 8) {
    sc_err(sc, kBadRange);
    return 0;
  }
  FiRef r;
  if (!fi_ref(sc, o.app, o.file, &r)) return 0;
  if (org(r) == FM_ORG_SINGLE) {
    sc_err(sc, kSingle);
    return 0;
  }
  ScOpnd v = o.value;
  uint32_t opts = 0;
  if (ut_is_all(v.app.data(), ' ', 3)) {
    // A constant key is as long as its text.
    int n = 22;
    while (n > 0 && v.text[size_t(n - 1)] == ' ') --n;
    v.occ = uint16_t(n ? n : 1);
    opts = kScRefCnstLen | kScRefKeepType;
  }
  CElem e;
  std::memset(static_cast<void*>(&e), 0, sizeof e);
  int kind = 0;
  if (!sc_cmpl_ref(sc, v, &e, 1, &kind, opts)) return sc_fail(sc, preset);
  if (org(r) == FM_ORG_PLAIN && e.e.type != 5 && e.e.type != 8 && e.e.type != 12) {
    sc_err(sc, kNotNumber);
    return 0;
  }
  uint16_t seg[1][2] = {{0, uint16_t(e.e.length)}};
  // A key of more than 255 bytes does not compile.
  if (!bld_at(sc_code(sc), end, entry(r), o.rel == 8 ? 16 : 0, seg, 1)) {
    sc_err(sc, preset);
    return 0;
  }
  return 1;
}
}  // namespace

int cmpl_beg_at(ScCtx* sc, DStmt* st) { return cmpl_at(sc, st, false); }
int cmpl_end_at(ScCtx* sc, DStmt* st) { return cmpl_at(sc, st, true); }

int cmpl_beg_read(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  if (!hold_ok(sc, o.opt) || !fi_ref(sc, o.app, o.file, &r)) return 0;
  const char* key = reinterpret_cast<const char*>(st->ops.b + 12);
  bool named = !ut_is_all(key, ' ', 22);
  if (org(r) != FM_ORG_PLAIN && org(r) != FM_ORG_KEYED) {
    sc_err(sc, kNotKeyed);
    return 0;
  }
  if (org(r) == FM_ORG_PLAIN && named) {
    sc_err(sc, kKeyOnPlain);
    return 0;
  }
  Key k;
  if (org(r) == FM_ORG_KEYED && !key_of(sc, r, key, &k)) return 0;
  State& s = state(sc);
  Loop* l = nullptr;
  for (size_t i = 0; i < s.loops.size(); ++i) {
    Loop& x = s.loops[i];
    if (std::memcmp(x.app, r.app, 3) != 0 || std::memcmp(x.file, r.file, 8) != 0) continue;
    // A loop left open in another event point is forgotten.
    if (!same_owner(x.beg, *st)) {
      s.loops.erase(s.loops.begin() + long(i));
      break;
    }
    l = &x;
  }
  if (!l) {
    Loop n;
    std::memcpy(n.app, r.app, 3);
    std::memcpy(n.file, r.file, 8);
    n.cursor = pc_get_ira(sc_pc(sc), r.app, r.cfi.ctl_area, 5, 0);
    n.beg = *st;
    if (!n.cursor) return fail(sc);
    s.loops.push_back(n);
    l = &s.loops.back();
  }
  IbCode* code = sc_code(sc);
  if (!bld_beg_read_start(code, entry(r), l->cursor, k.len, k.pos, k.no)) return fail(sc);
  uint8_t* p = bld_beg_read(code, entry(r), l->cursor, SET_GFH_HOLD(o.opt));
  if (!p) return fail(sc);
  l->exits.push_back(sc_ref_of(sc, p));
  mark(sc, &r, kRead, false);
  return 1;
}

int cmpl_end_read(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsFile>(st->ops.b);
  FiRef r;
  if (!fi_ref(sc, o.app, o.file, &r)) return 0;
  if (org(r) != FM_ORG_PLAIN && org(r) != FM_ORG_KEYED) {
    sc_err(sc, kNotKeyed);
    return 0;
  }
  State& s = state(sc);
  for (size_t i = 0; i < s.loops.size(); ++i) {
    Loop& l = s.loops[i];
    if (std::memcmp(l.app, r.app, 3) != 0 || std::memcmp(l.file, r.file, 8) != 0) continue;
    // A loop left open in another event point is not this one's.
    if (!same_owner(l.beg, *st)) break;
    if (!bld_end_read(sc_code(sc), l.cursor)) return fail(sc);
    // The exits of the loop's BEG READ statements go behind the END READ.
    for (const CodeRef& x : l.exits) sc_patch_at(sc, x, 12, ib_here(sc_code(sc)));
    s.loops.erase(s.loops.begin() + long(i));
    return 1;
  }
  sc_err(sc, sc_msg(sc));
  return 0;
}

// ------------------------------------------------------------ properties --
namespace {

constexpr uint32_t kNoApCompile = 101910;  // application not available to the compile

enum class PropVerb { Get, Put, Del, Move };

// One property statement: the field (if any) into register 1, the object
// file's primary key into register 2, then the instruction.
int cmpl_prop(ScCtx* sc, PropVerb v, const ScOpnd* field, const rec::Text<3>& app, const rec::Text<8>& file,
              const rec::Text<14>& prop) {
  PcCtx* pc = sc_pc(sc);
  uint32_t preset = sc_msg(sc);
  CElem fe;
  std::memset(static_cast<void*>(&fe), 0, sizeof fe);
  int kind = 0;
  if (field) {
    uint32_t opts = v == PropVerb::Get ? uint32_t(kScRefTarget) : 0u;
    if (!sc_cmpl_ref(sc, *field, &fe, 1, &kind, opts)) {
      // A field of an application the compile does not have: nothing to do.
      if (sc_msg(sc) == kNoApCompile) return 1;
      return sc_fail(sc, preset);
    }
  }
  char a[4] = {}, f[9] = {};
  std::memcpy(a, app.data(), 3);
  std::memcpy(f, file.data(), 8);
  EmCap* cap = pc_ap(a, pc);
  if (!cap) {
    bld_abort(sc_code(sc), kNoAppHere);
    sc_err(sc, kNoAppHere);
    return 0;
  }
  EmCfi cfi;
  std::memset(static_cast<void*>(&cfi), 0, sizeof cfi);
  pc->em->status = 0;
  if (!pc_fi(cap, f, &cfi, pc)) {
    sc_err(sc, kNoFileHere);
    return 0;
  }
  // The object name: the value of the file's primary key; none gives a
  // blank object name.
  uint32_t name_len = 0;
  ScOpnd key;
  if (sc_get_primary_key(sc, &key, a, f)) {
    CElem ke;
    std::memset(static_cast<void*>(&ke), 0, sizeof ke);
    if (!sc_cmpl_ref(sc, key, &ke, 2, &kind, 0)) return sc_fail(sc, preset);
    name_len = uint32_t(ke.e.length);
  } else if (sc_msg(sc) != kPcNoField) {
    return sc_fail(sc, preset);
  }
  sc_msg(sc) = preset;
  CvItem item;
  std::memset(static_cast<void*>(&item), 0, sizeof item);
  if (v == PropVerb::Get || v == PropVerb::Put) {
    CvBlock blk;
    char fa[4] = {};
    std::memcpy(fa, field->app.data(), 3);
    if (!cv_get_cnv(&blk, &fe.e, fa, "00")) return fail(sc);
    item = *blk.item;
  }
  const char* k = file.data();
  const char* p = prop.data();
  uint8_t* done = v == PropVerb::Get   ? bld_getprop(sc_code(sc), a, k, p, name_len, item)
                  : v == PropVerb::Put ? bld_putprop(sc_code(sc), a, k, p, name_len, item)
                  : v == PropVerb::Del ? bld_delprop(sc_code(sc), a, k, p, name_len)
                                       : bld_moveprop(sc_code(sc), a, k, p, name_len);
  return done ? 1 : fail(sc);
}

// A record statement: one property statement per data field of the
// record's file, the property named by the field's name without its
// leading word (the file's prefix) and the blank after it.
int cmpl_prec(ScCtx* sc, DStmt* st, PropVerb v) {
  const auto& o = rec::view<ScOpsPropRec>(st->ops.b);
  // GETATTRS names the record first, PUTATTRS and DELATTRS the object file.
  const rec::Text<3>& rapp = v == PropVerb::Get ? o.app1 : o.app2;
  const rec::Text<8>& rfile = v == PropVerb::Get ? o.file1 : o.file2;
  const rec::Text<3>& oapp = v == PropVerb::Get ? o.app2 : o.app1;
  const rec::Text<8>& ofile = v == PropVerb::Get ? o.file2 : o.file1;
  PcCtx* pc = sc_pc(sc);
  char a[4] = {}, f[9] = {};
  std::memcpy(a, rapp.data(), 3);
  std::memcpy(f, rfile.data(), 8);
  EmCap* cap = pc_ap(a, pc);
  if (!cap) {
    sc_err(sc, kNoApCompile);
    return 0;
  }
  FmArb* el = pc_open_src(pc, cap, kSrcElem);
  if (!el) {
    sc_err(sc, kPcNoElemFile);
    return 0;
  }
  std::vector<std::array<char, 22>> names;
  sc_file_fields(el, f, &names);
  int good = 1;
  for (const auto& n : names) {
    ScOpnd fld;
    std::memset(static_cast<void*>(&fld), ' ', sizeof fld);
    fld.occ = 0;
    fld.occ_mode = 2;
    fld.app = rapp;
    std::memcpy(fld.text.data(), n.data(), 22);
    rec::Text<14> prop;
    std::memset(prop.data(), ' ', 14);
    const char* sp = static_cast<const char*>(std::memchr(n.data(), ' ', 22));
    size_t from = sp ? size_t(sp - n.data()) + 1 : 0;
    std::memcpy(prop.data(), n.data() + from, std::min<size_t>(14, 22 - from));
    if (!cmpl_prop(sc, v, v == PropVerb::Del ? nullptr : &fld, oapp, ofile, prop)) good = 0;
  }
  return good;
}

}  // namespace

int cmpl_getprop(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsGetProp>(st->ops.b);
  return cmpl_prop(sc, PropVerb::Get, &o.field, o.app, o.file, o.prop);
}
int cmpl_putprop(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsProp>(st->ops.b);
  return cmpl_prop(sc, PropVerb::Put, &o.field, o.app, o.file, o.prop);
}
int cmpl_delprop(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsProp>(st->ops.b);
  return cmpl_prop(sc, PropVerb::Del, nullptr, o.app, o.file, o.prop);
}
int cmpl_moveprop(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsProp>(st->ops.b);
  return cmpl_prop(sc, PropVerb::Move, &o.field, o.app, o.file, o.prop);
}
int cmpl_getprec(ScCtx* sc, DStmt* st) { return cmpl_prec(sc, st, PropVerb::Get); }
int cmpl_putprec(ScCtx* sc, DStmt* st) { return cmpl_prec(sc, st, PropVerb::Put); }
int cmpl_delprec(ScCtx* sc, DStmt* st) { return cmpl_prec(sc, st, PropVerb::Del); }

// ----------------------------------------------------------------- SCAN --
namespace {
constexpr uint32_t kScanMsg = 101660;
constexpr uint16_t kVerbDisplay = 28, kVerbEnd = 29, kVerbScan = 66;
}  // namespace

int cmpl_scan(ScCtx* sc, DStmt* st) {
  const auto& o = rec::view<ScOpsTwo>(st->ops.b);
  PcCtx* pc = sc_pc(sc);
  const uint32_t preset = sc_msg(sc) ? sc_msg(sc) : kScanMsg;
  // The image that owns the statement lists it among its scans.
  if (st->frame_no != 0u && st->image_no != 0) {
    EmCfrm* frame = pc_find_cfrm(pc, st->frame_class, st->frame_no);
    if (EmCimg* image = frame ? pc_find_cimg(pc, frame, st->image_no) : nullptr)
      pc_add_scan(pc->em, image, st->ops.b);
  }
  // The scanned field: compiled, not loaded; its file is the scanned file.
  CElem t;
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  int kind = 0;
  sc_msg(sc) = 0;
  if (!sc_cmpl_ref(sc, o.op2, &t, 0, &kind, kScRefTarget)) {
    if (sc_msg(sc) == kNoApCompile) {
      bld_abort(sc_code(sc), kNoAppHere);
      sc_err(sc, kNoAppHere);
      return 1;
    }
    return sc_fail(sc, preset);
  }
  sc_msg(sc) = preset;
  FiRef r;
  if (!fi_ref(sc, o.op2.app, t.e.file, &r)) return 0;
  EmCap* cap = pc_ap(r.app, pc);
  if (cap) pc_scan(cap, pc, r.cfi, 0);
  uint8_t* p = bld_scan(sc_code(sc), entry(r));
  if (!p) return fail(sc);
  CodeRef at = sc_ref_of(sc, p);
  mark(sc, &r, kRead, true);
  return write_scan_stmt(sc, st, r.file, at);
}

int write_scan_stmt(ScCtx* sc, DStmt* st, const char* file, CodeRef scan_inst) {
  IbCode* code = sc_code(sc);
  const CodeRef ret = ib_here(code);
  DStmt made = *st;
  // The SCAN test: the answered file's name against this scan's.
  int ok = sc_cmpl_made(sc, made, [](ScCtx* c, DStmt*) {
    CElem e;
    std::memset(static_cast<void*>(&e), 0, sizeof e);
    return sc_ref_0la(c, "SCANOPT FI NAM", &e, 1);
  });
  ScOpnd name;
  std::memset(static_cast<void*>(&name), ' ', sizeof name);
  name.occ = 8;
  name.occ_mode = 0;
  std::memcpy(name.text.data(), file, 8);
  CElem ne;
  std::memset(static_cast<void*>(&ne), 0, sizeof ne);
  int kind = 0;
  ok = ok && sc_cmpl_ref(sc, name, &ne, 2, &kind, kScRefCnstLen | kScRefKeepType);
  uint8_t* tst = ok ? bld_scan_tst(code, 8) : nullptr;
  if (!tst) return fail(sc);
  CodeRef tst_at = sc_ref_of(sc, tst);
  // The scanned value into the target (SET marked as SCAN's), shown.
  made.seq = st->seq + 1u;
  made.verb = kVerbScan;
  if (!sc_cmpl_made(sc, made, cmpl_set)) return 0;
  made.seq = st->seq + 2u;
  made.verb = kVerbDisplay;
  auto& img = rec::view<ScOpsImg>(made.ops.b);
  img.field = rec::view<ScOpsTwo>(st->ops.b).op1;
  img.idx2.v = 0;
  img.idx2.kind = 2;
  std::memset(made.ops.b + 34, ' ', sizeof made.ops.b - 34);
  if (!sc_cmpl_made(sc, made)) return 0;
  made.seq = st->seq + 3u;
  made.verb = kVerbEnd;
  const CodeRef end = ib_here(code);
  if (!sc_cmpl_made(sc, made)) return 0;
  // The SCAN goes on after the block. A block whose scan the answer is not
  // for ends at its END: were it to go on after the block too, the scan
  // support's run of it would run the rest of the event point again.
  const CodeRef after = ib_here(code);
  sc_patch_at(sc, tst_at, 4, end);
  sc_patch_at(sc, scan_inst, 8, after);
  sc_patch_at(sc, scan_inst, 12, ret);
  return 1;
}
