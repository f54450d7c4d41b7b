// The statement compiler driver: event points, truth-mask branches, labels,
// TOC and TRAP records, operand compile and the control verbs. See sc.h.
#include "language/sc.h"

#include <algorithm>
#include <bit>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "language/ibctl.h"
#include "language/ibmisc.h"
#include "language/ibutil.h"
#include "language/scfam.h"
#include "language/ii.h"
#include "files/fmcat.h"
#include "process/services.h"
#include "process/pbutil.h"
#include "process/pc.h"

namespace {

constexpr const char* kMod = "SC.C";

void sys_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
}

CodeRef cref(uint16_t b, uint16_t o) {
  CodeRef c;
  c.block = b;
  c.offset = o;
  return c;
}
const CodeRef kNone = cref(0xFFFF, 0xFFFF);
bool is_none(const CodeRef& c) { return c.block == 0xFFFF && c.offset == 0xFFFF; }

struct Pending {
  CodeRef at;       // the branch instruction
  bool tfu;
  uint32_t mask;    // TFC: its condition; TFU: the run it closes
};

struct Label {
  char app[3];
  char name[30];
  CodeRef addr = kNone;
  bool gosub = false;
  std::vector<CodeRef> refs;   // instructions whose operand at 4 takes the address
  DStmt stmt;                  // the statement that made the record
};

using LabelName = std::array<char, 30>;
struct LabelHash {
  size_t operator()(const LabelName& n) const {
    uint64_t a, b, c;
    uint32_t d;
    uint16_t e;
    std::memcpy(&a, n.data(), 8);
    std::memcpy(&b, n.data() + 8, 8);
    std::memcpy(&c, n.data() + 16, 8);
    std::memcpy(&d, n.data() + 24, 4);
    std::memcpy(&e, n.data() + 28, 2);
    uint64_t h = a ^ (b << 21 | b >> 43) ^ (c << 42 | c >> 22) ^ (uint64_t(d) << 16 | e);
    h *= 0x9E3779B97F4A7C15ull;
    return size_t(h ^ (h >> 29));
  }
};

}  // namespace

struct ScCtx {
  uint32_t msg = 0;
  PcCtx* pc = nullptr;
  FmArb* stmts = nullptr;
  DStmt cur{};
  PcBuf<DStmt> io;          // the read buffer (arena)
  PcBuf<uint8_t> key{64};   // the range's key prefix (arena)
  PcBuf<uint8_t> cnst{16};  // a constant to be written (arena)
  std::unique_ptr<PcBuf<char>> cnst_in;   // a constant's text on its way to conversion (arena)
  IbCode code;
  std::vector<Pending> pending;
  std::vector<Label> labels;
  // The labels by name, open addressing: the hash's high half << 32 | index
  // in labels + 1; 0 free.
  std::vector<uint64_t> label_ix;
  std::vector<size_t> label_defs;   // labels awaiting an address
  uint8_t shift = 10;
  char tf[5] = {};
  char mask_tf[5] = {0, 0, 0, 0, 0};   // the column `mask` was taken from
  uint32_t mask = 0;
  bool failed = false;
  // Loop tables (packed, binary) by letter: the open BEG LOOPs' exit slots
  // and the latest BEG LOOP statement.
  struct Loop {
    std::vector<CodeRef> exits;
    DStmt beg;                      // set with the first exit, read while there are exits
  } loops[2][26];
  bool loops_used = false;          // a loop was opened since the last event point's end
  int copy_depth = 0;               // COPY bodies being compiled into the event point
  char copy_tf[5] = {};             // their T/F prefix (copy_len characters)
  int copy_len = 0;
  uint8_t copy_ep = 0;              // the COPY statement's event point code
  uint8_t own_ep = 0;               // the compiled statement's own event point code
  // TRAP records and closed TOC records not written yet: a compile of
  // statements writes them when it ends, all at once, in the order they
  // were made (a COPY body writes the TRAP records before its own first).
  std::vector<IbTrap> traps;
  std::vector<IbToc> tocs;
  int cmpl_depth = 0;               // sc_cmpl running (it writes the TOC records)
  std::vector<uint8_t*> blocks;     // storage of INST blocks already left
  bool moved = false;               // a generated COPY read the statement file
  std::shared_ptr<void> fi;         // the file statements' open BEG READ loops
  // The forms constants are read in: the element a reference gives (and,
  // for a form of no type, the constant's length, which makes the form),
  // with the element the constant takes. A form is found by the address of
  // the element given, checked against all of its bytes, else by a hash of
  // them; it stays where it is until the context ends.
  struct Form {
    DElem given;
    uint16_t len;                   // the constant's length for a form of no type, else 0
    uint64_t hash;
    CElem out;                      // e: the form taken; ira: the last constant's
    std::unique_ptr<CvBlock> cnv;   // its conversion (a form without tokens), once built
  };
  std::deque<Form> forms;
  std::vector<uint32_t> form_slots;          // open addressing: index in forms + 1, 0 free
  std::array<uint32_t, 256> form_hint{};     // by the given element's address: index + 1
  // The constants converted so far: a constant of the same text read in the
  // same form converts to the same stored bytes (the compile's application
  // and version do not change). Token fields are not kept: their conversion
  // reads the token file.
  static constexpr uint32_t kCnstShort = 24;
  struct Cnst {
    uint64_t hash;
    uint32_t form;                  // index in forms
    uint32_t text;                  // its text: at this offset of cnst_text
    uint32_t len;
    uint32_t com_ref;               // the common block's constant (nonzero), else
    const uint8_t* value;           // the stored form (the form's length, in the compile's pool)
    char head[kCnstShort];          // the text's first bytes (all of a short one: compared here)
  };
  std::vector<Cnst> cnsts;
  std::vector<char> cnst_text;
  std::vector<uint64_t> cnst_slots;   // open addressing: hash's high half << 32 | index in cnsts + 1; 0 free
  // The fields operands named so far, by the bytes of their application and
  // name as the operand holds them (the process compiler's table keeps the
  // element where it is until it is emptied: fld_gen).
  struct FldRef {
    uint64_t w[4];                  // operand bytes 4-19 and 13-28
    const CElem* e;                 // null: a free slot
  };
  std::vector<FldRef> fld_refs;     // open addressing
  size_t fld_count = 0;
  uint32_t fld_gen = 0;
};

namespace {

// ------------------------------------------------------- verb table --
int cmpl_comment(ScCtx* sc, DStmt*) {
  std::memset(sc->tf, '?', 5);
  return 1;
}
int cmpl_dummy(ScCtx*, DStmt*) { return 1; }

uint8_t* at(ScCtx* sc, CodeRef r) {
  uint16_t cb = sc->code.block;
  if (cb >= sc->blocks.size()) sc->blocks.resize(size_t(cb) + 16, nullptr);
  sc->blocks[cb] = sc->code.storage;
  if (r.block == cb) return sc->code.storage + r.offset;
  // Blocks stay where they are in the INST file: each is looked up once.
  uint16_t b = r.block;
  if (b < sc->blocks.size() && sc->blocks[b]) return sc->blocks[b] + r.offset;
  uint8_t* base = ib_code_to_pc(sc->pc->em, cref(b, 0));
  if (!base) return nullptr;
  if (b >= sc->blocks.size()) sc->blocks.resize(size_t(b) + 1, nullptr);
  sc->blocks[b] = base;
  return base + r.offset;
}

// A TRAP record of the current statement; the records are written
// together (put_pending).
void put_trap(ScCtx* sc, CodeRef addr, uint32_t seq, uint8_t ep, uint8_t toc_index) {
  IbTrap t;
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  t.addr = addr;
  t.seq = seq;
  t.ep = ep;
  t.toc_index = toc_index;
  sc->traps.push_back(t);
  EmHeader* em = sc->pc->em;
  em->trap_count = em->trap_count + 1;
}
void patch(ScCtx* sc, CodeRef inst, CodeRef to) {
  uint8_t* p = at(sc, inst);
  if (!p) {
    sys_err(__LINE__, "label resolution failure");
    return;
  }
  rec::view<CodeRef>(p + 4) = to;
}

uint64_t label_hash(const char* name) {
  LabelName key;
  std::memcpy(key.data(), name, 30);
  return LabelHash{}(key);
}

Label* find_label(ScCtx* sc, const char* app, const char* name, bool create) {
  std::vector<uint64_t>& slots = sc->label_ix;
  if (slots.empty()) slots.assign(256, 0);
  const uint64_t h = label_hash(name);
  size_t mask = slots.size() - 1, i = h & mask;
  for (; slots[i]; i = (i + 1) & mask) {
    if ((slots[i] >> 32) != (h >> 32)) continue;
    Label& l = sc->labels[uint32_t(slots[i]) - 1];
    if (std::memcmp(l.name, name, 30) == 0) return &l;
  }
  if (!create) return nullptr;
  Label& l = sc->labels.emplace_back();
  std::memcpy(l.app, app, 3);
  std::memcpy(l.name, name, 30);
  l.stmt = sc->cur;
  slots[i] = (h >> 32) << 32 | sc->labels.size();
  // At half full the table doubles.
  if (2 * sc->labels.size() > slots.size()) {
    slots.assign(2 * slots.size(), 0);
    mask = slots.size() - 1;
    for (size_t n = 0; n < sc->labels.size(); ++n) {
      const uint64_t k = label_hash(sc->labels[n].name);
      size_t j = k & mask;
      while (slots[j]) j = (j + 1) & mask;
      slots[j] = (k >> 32) << 32 | (n + 1);
    }
  }
  return &sc->labels.back();
}

int cmpl_end(ScCtx* sc, DStmt*) {
  if (!sc->msg) sc->msg = 101260;
  if (!bld_end(&sc->code, true)) {
    if (sc->msg != kScQuiet) sc_err(sc, sc->msg);
    return 0;
  }
  return 1;
}
int cmpl_end_proc(ScCtx* sc, DStmt*) { return bld_end_proc(&sc->code) ? 1 : (sc_err(sc, 101290), 0); }
int cmpl_exit(ScCtx* sc, DStmt*) { return bld_exit(&sc->code) ? 1 : (sc_err(sc, 101320), 0); }
int cmpl_logout(ScCtx* sc, DStmt* st) {
  return bld_logout(&sc->code, st->ops[0] == '1') ? 1 : (sc_err(sc, 101420), 0);
}
int cmpl_goto(ScCtx* sc, DStmt* st) {
  CodeRef where;
  if (!ib_put(&sc->code, 20, 0, &where)) {
    sc_err(sc, 101360);
    return 0;
  }
  patch(sc, where, cref(kNoCode, 0));
  Label* l = find_label(sc, "   ", reinterpret_cast<const char*>(st->ops.b), true);
  l->refs.push_back(where);
  l->gosub = false;
  return 1;
}
int cmpl_label(ScCtx* sc, DStmt* st) {
  const char* name = reinterpret_cast<const char*>(st->ops.b);
  Label* l = find_label(sc, "   ", name, false);
  if (l && !is_none(l->addr)) {
    if (sc->msg != kScQuiet) sc_err(sc, kScDupLabel);
    return 0;
  }
  if (!l) l = find_label(sc, "   ", name, true);
  size_t i = size_t(l - sc->labels.data());
  for (size_t d : sc->label_defs)
    if (d == i) {
      if (sc->msg != kScQuiet) sc_err(sc, kScDupLabel);
      return 0;
    }
  sc->label_defs.push_back(i);
  std::memset(sc->tf, '?', 5);
  return 1;
}
int cmpl_unbuilt(ScCtx*, DStmt*) { return 0; }

// The verb table (`cmpl_fns`, `verb_spell_tbl`): 105 rows.
struct ScVerb {
  const char* spell;   // 8 characters
  ScCmplFn fn;
  uint32_t preset;     // 0: none
};
ScVerb g_verbs[kScVerbs] = {
    {"*       ", cmpl_comment, 0},       {"**      ", cmpl_comment, 0},
    {"ACTION  ", cmpl_proc, 0},          {"AND     ", cmpl_if_and_or, 100960},
    {"APPEND  ", cmpl_append, 100980},  {"AT FIELD", cmpl_pos, 100990},
    {"BEG AT  ", cmpl_beg_at, 101000},  {"BEG LOOP", cmpl_beg_loop, 101010},
    {"BEG READ", cmpl_beg_read, 101020},  {"BLANK   ", cmpl_chr, 101030},
    {"BLINK   ", cmpl_chr, 101040},  {"BRIGHT  ", cmpl_chr, 101050},
    {"CALC    ", cmpl_calc, 101060},  {"CALL    ", cmpl_call, 101070},
    {"CANCEL  ", cmpl_msg, 101080},  {"CLOSE   ", cmpl_close, 101090},
    {"CNV BIN ", cmpl_cnv_bin, 101100},  {"CNV FLT ", cmpl_dummy, 0},
    {"CNV TEXT", cmpl_cnv_text, 101120},  {"CNV ZONE", cmpl_dummy, 0},
    {"COMPUTE ", cmpl_compute, 101160},  {"COPY    ", cmpl_copy, 101180},
    {"CREATE  ", cmpl_create, 101190},  {"DATE ADD", cmpl_date_add, 101200},
    {"DATE BTW", cmpl_date_btw, 101210},  {"DEFINE  ", cmpl_def, 101220},
    {"DELETE  ", cmpl_delete, 101230},  {"DIM     ", cmpl_chr, 101240},
    {"DISPLAY ", cmpl_chr, 101250},  {"END     ", cmpl_end, 101260},
    {"END AT  ", cmpl_end_at, 101270},  {"END LOOP", cmpl_end_loop, 101280},
    {"END PROC", cmpl_end_proc, 101290}, {"END READ", cmpl_end_read, 101300},
    {"ERROR   ", cmpl_msg, 101310},  {"EXIT    ", cmpl_exit, 101320},
    {"GOSUB   ", cmpl_gosub, 101350},  {"GOTO    ", cmpl_goto, 101360},
    {"IF      ", cmpl_if_and_or, 101370},  {"IF EXIST", cmpl_if_exist, 101380},
    {"INPUT   ", cmpl_proc, 0},          {"INVERSE ", cmpl_chr, 101400},
    {"LABEL   ", cmpl_label, 101410},    {"LOGOUT  ", cmpl_logout, 101420},
    {"MENU    ", cmpl_proc, 0},          {"MESSAGE ", cmpl_msg, 101440},
    {"NO INPUT", cmpl_chr, 101460},  {"NO TRACE", cmpl_dummy, 0},
    {"NO ULINE", cmpl_chr, 101480},  {"NORMAL  ", cmpl_chr, 101450},
    {"OK INPUT", cmpl_chr, 101490},  {"OPEN    ", cmpl_open, 101500},
    {"OR      ", cmpl_if_and_or, 101510},  {"OUTPUT  ", cmpl_proc, 0},
    {"OVERFLOW", cmpl_overflow, 101540},  {"PASS    ", cmpl_pass, 101550},
    {"POSITION", cmpl_pos, 101560},  {"PRINT   ", cmpl_print, 101570},
    {"QUERY   ", cmpl_proc, 0},          {"READ    ", cmpl_read, 101590},
    {"READNEXT", cmpl_readnext, 101600},  {"RECEIVE ", cmpl_dummy, 0},
    {"RESTORE ", cmpl_xxstore, 101620},  {"RETURN  ", cmpl_return, 101630},
    {"REWRITE ", cmpl_rewrite, 101640},  {"RUN     ", cmpl_run, 101650},
    {"SCAN    ", cmpl_scan, 101660},  {"SCRATCH ", cmpl_scratch, 101670},
    {"SELECT  ", cmpl_dummy, 0},         {"SET     ", cmpl_set, 101690},
    {"SET DATE", cmpl_set_date, 101700},  {"SET DAY ", cmpl_set_day, 101710},
    {"SET MNTH", cmpl_set_mnth, 101720},  {"SET TEMP", cmpl_set_temp, 101730},
    {"SET TOT ", cmpl_set_tot, 101740},  {"STORE   ", cmpl_xxstore, 101750},
    {"SUBR    ", cmpl_proc, 0},          {"TIMEOUT ", cmpl_timeout, 101770},
    {"TOTAL   ", cmpl_total, 101780},  {"VERSION ", cmpl_dummy, 0},
    {"TRAP    ", cmpl_trap, 101800},  {"ULINE   ", cmpl_chr, 101810},
    {"UNDEFINE", cmpl_def, 101820},  {"WARNING ", cmpl_msg, 101830},
    {"WRITE   ", cmpl_write, 101840},  {"FREE ALL", cmpl_dummy, 0},
    {"DEBUG   ", cmpl_dummy, 0},         {"UPDATE  ", cmpl_proc, 0},
    {"JOB     ", cmpl_proc, 0},          {"INQUIRY ", cmpl_proc, 0},
    {"STATUS  ", cmpl_proc, 0},          {"DISP    ", cmpl_proc, 0},
    {"FONT    ", cmpl_chr, 101810},  {"COLOR   ", cmpl_chr, 101810},
    {"PICTURE ", cmpl_chr, 101810},  {"BROWSE  ", cmpl_chr, 101810},
    {"VERIFY  ", cmpl_verify, 101570},  {"GETATTR ", cmpl_getprop, 0},
    {"PUTATTR ", cmpl_putprop, 0},       {"DELATTR ", cmpl_delprop, 0},
    {"MOVEATTR", cmpl_moveprop, 0},       {"GETATTRS", cmpl_getprec, 0},
    {"PUTATTRS", cmpl_putprec, 0},       {"DELATTRS", cmpl_delprec, 0},
    {"REFRESH ", cmpl_msg, 101440},
};


// ------------------------------------------------------------ branches --
void resolve_labels(ScCtx* sc, CodeRef to) {
  for (size_t i : sc->label_defs) sc->labels[i].addr = to;
  sc->label_defs.clear();
}

void tf_resolve(ScCtx* sc, uint32_t n, int kind, CodeRef where) {
  CodeRef target = kind == 2 ? where : ib_here(&sc->code);
  size_t skip = kind ? 1 : 0;   // the branch just pushed is the last entry
  size_t end = sc->pending.size() - skip;
  if (n == 0x3FF) {
    for (size_t i = 0; i < end; ++i) patch(sc, sc->pending[i].at, target);
    sc->pending.erase(sc->pending.begin(), sc->pending.begin() + long(end));
    resolve_labels(sc, target);
    return;
  }
  bool need_tfc = false;
  for (size_t i = 0; i < end; ++i)
    if (!sc->pending[i].tfu && (sc->pending[i].mask | n) != sc->pending[i].mask) need_tfc = true;
  if (need_tfc && kind != 2) {
    CodeRef w;
    if (!bld_tfc(&sc->code, kNone, n, &w)) return;
    target = w;
    sc->pending.push_back({w, false, n});
  }
  size_t out = 0;
  for (size_t i = 0; i < sc->pending.size(); ++i) {
    const Pending p = sc->pending[i];
    bool resolve = false;
    if (i < end) {
      if (!p.tfu) resolve = (p.mask | n) != p.mask;
      else resolve = (sc_tf_combined(p.mask, n) | n) == n;
    }
    if (resolve) patch(sc, p.at, target);
    else sc->pending[out++] = p;
  }
  sc->pending.resize(out);
  resolve_labels(sc, target);
}

void bld_br(ScCtx* sc, const char* col) {
  // The current column's mask is kept with the column it was taken from.
  if (std::memcmp(sc->mask_tf, sc->tf, 5) != 0) {
    std::memcpy(sc->mask_tf, sc->tf, 5);
    sc->mask = sc_tf_no(sc->tf, nullptr);
  }
  uint32_t c = sc->mask;
  uint32_t n = sc_tf_no(col, &sc->shift);
  int kind = 0;
  CodeRef where = kNone;
  if ((c | n) != n) {
    if ((sc_tf_combined(c, n) | n) != n) {
      if (!bld_tfu(&sc->code, kNone, &where)) return;
      sc->pending.push_back({where, true, c});
      kind = 1;
    } else {
      if (!bld_tfc(&sc->code, kNone, n, &where)) return;
      sc->pending.push_back({where, false, n});
      kind = 2;
    }
  }
  tf_resolve(sc, n, kind, where);
}

// The inline subroutine of a label only GOSUBs reference: END, the label,
// GHOST, a COPY of the Subroutine of that name (of the label's application,
// the process's own when blank) and RETURN, compiled after the event point's
// code under a blank column. 1 when all of it compiled.
int gosub_subroutine(ScCtx* sc, size_t i) {
  DStmt keep = sc->cur;
  uint8_t keep_own = sc->own_ep;
  DStmt g = sc->cur;   // keyed as the event point's last statement
  g.verb = 21;
  std::memset(g.tf.data(), ' ', 5);
  char app[3], name[30];
  std::memcpy(app, sc->labels[i].app, 3);
  std::memcpy(name, sc->labels[i].name, 30);
  if (ut_is_all(app, ' ', 3)) std::memcpy(app, sc->pc->app, 3);
  std::memset(g.ops.b, ' ', sizeof g.ops.b);
  std::memcpy(g.ops.b, app, 3);
  std::memcpy(g.ops.b + 3, name, 30);
  sc->cur = g;
  sc->own_ep = g.event_point;
  std::memset(sc->tf, ' ', 5);
  sc->shift = 10;
  int ok = bld_end(&sc->code, true) != nullptr;
  sc->labels[i].addr = ib_here(&sc->code);
  ok = ok && bld_ghost(&sc->code) != nullptr;
  sc->moved = true;
  ok = ok && sc_copy_guts(sc, app, name, true);
  ok = ok && bld_return(&sc->code) != nullptr;
  sc->cur = keep;
  sc->own_ep = keep_own;
  return ok;
}

// End of an event point: labels get their addresses into their uses. The
// statements a generated COPY compiles may add labels: they are resolved
// in the same pass.
int label_cleanup(ScCtx* sc) {
  int ok = 1;
  for (size_t i = 0; i < sc->labels.size(); ++i) {
    if (is_none(sc->labels[i].addr) && sc->labels[i].gosub && !gosub_subroutine(sc, i)) {
      DStmt keep = sc->cur;
      sc->cur = sc->labels[i].stmt;
      sc_err(sc, 101350);
      sc->cur = keep;
      ok = 0;
      continue;
    }
    Label& l = sc->labels[i];
    if (is_none(l.addr)) {
      DStmt keep = sc->cur;
      sc->cur = l.stmt;
      sc_err(sc, kScUndefLabel);
      sc->cur = keep;
      ok = 0;
      continue;
    }
    for (const CodeRef& r : l.refs) patch(sc, r, l.addr);
  }
  sc->labels.clear();
  std::fill(sc->label_ix.begin(), sc->label_ix.end(), 0);
  sc->label_defs.clear();
  return ok;
}

bool same_ep(const DStmt& a, const DStmt& b) {
  return a.proc_type == b.proc_type && a.proc_name == b.proc_name && a.frame_no == b.frame_no &&
         a.image_no == b.image_no && a.child_disc == b.child_disc && a.child_no == b.child_no &&
         a.event_point == b.event_point;
}

// The next statement of the stream, nullptr at its end. A memory file's
// record of the statement's length is read where it lies (no copy into the
// read buffer); any other record is read into the buffer. The record is
// valid until the stream or its file changes.
const DStmt* read_stmt(ScCtx* sc) {
  FmArb* f = sc->stmts;
  if (f->file->fdb.fclass == FM_CLASS_MEMORY) {
    const uint8_t* p = fm_rdnxt_fast(f, 0);
    f->op = 0;
    if (p && f->len_read == sizeof(DStmt)) return reinterpret_cast<const DStmt*>(p);
    if (p) {
      // (A record of another length reads as a copy would.)
      std::memmove(sc->io.bytes(), p, std::min<size_t>(f->len_read, sizeof(DStmt)));
      return sc->io.p;
    }
  } else if (fm_rdnxt(f)) {
    return sc->io.p;
  }
  if (f->status != FM_ST_EOF) sys_err(__LINE__, "cmpl_ep() - dstmt read failed");
  return nullptr;
}

// Reads the next statement of the range into sc->cur: false at its end.
bool next_stmt(ScCtx* sc, const uint8_t* prefix, int len) {
  const DStmt* s = read_stmt(sc);
  if (!s) return false;
  sc->cur = *s;
  return std::memcmp(&sc->cur, prefix, size_t(len)) == 0;
}

// Compiles the current statement (sc->cur): its branch, its TRAP record and
// its verb's compile function. Inside a COPY body the statement's T/F column
// is the COPY's prefix followed by its own, and its verb sees the COPY's
// event point code; the record is given back as it was.
void compile_one(ScCtx* sc, uint8_t toc_index) {
  DStmt& st = sc->cur;
  int verb = st.verb;
  char own_tf[5];
  std::memcpy(own_tf, st.tf.data(), 5);
  uint8_t own_ep = st.event_point;
  if (st.tf[0] == 'C') {
    if (st.event_point != DSTMT_EP_CONSTRAINT) put_trap(sc, cref(0, 0), st.seq, st.event_point, toc_index);
    return;
  }
  if (sc->copy_depth) {
    char col[5];
    std::memcpy(col, sc->copy_tf, size_t(sc->copy_len));
    std::memcpy(col + sc->copy_len, own_tf, size_t(5 - sc->copy_len));
    std::memcpy(st.tf.data(), col, 5);
  }
  bool no_code = verb == 0 || verb == 1 || verb == 42;
  if (!no_code) {
    if (std::memcmp(st.tf.data(), sc->tf, 5) == 0) {
      resolve_labels(sc, ib_here(&sc->code));
      if (st.tf[0] == ' ') sc->shift = 10;
    } else {
      bld_br(sc, st.tf.data());
      std::memcpy(sc->tf, st.tf.data(), 5);
    }
  }
  if (st.event_point != DSTMT_EP_CONSTRAINT)
    put_trap(sc, no_code ? cref(0, 0) : ib_here(&sc->code), st.seq, st.event_point, toc_index);
  sc->own_ep = own_ep;
  if (sc->copy_depth) st.event_point = sc->copy_ep;
  sc->msg = 0;
  int r = 0;
  if (verb < kScVerbs) {
    const ScVerb& v = g_verbs[verb];
    sc->msg = v.preset;
    r = v.fn(sc, &sc->cur);
    if (r != 1 && v.fn == cmpl_unbuilt) sc_err(sc, v.preset ? v.preset : kScNoVerb);
  } else {
    sc_err(sc, kScNoVerb);
  }
  if (r != 1) sc->failed = true;
  std::memcpy(sc->cur.tf.data(), own_tf, 5);
  sc->cur.event_point = own_ep;
}

// Positions the statement stream before the first record whose key begins
// with prefix (at most 52 bytes); with after, after the record whose key is
// the prefix itself.
bool position(ScCtx* sc, const uint8_t* prefix, int len, bool after) {
  FmArb* f = sc->stmts;
  PROTO_FULL(f, 0, sc->io.bytes());
  std::memcpy(sc->key.bytes(), prefix, size_t(len));
  f->key.set(sc->key.bytes());
  f->key_len = uint16_t(len);
  f->op = uint16_t(FM_OP_AT | FM_OP_KEY | (after ? FM_OP_GE : 0));
  int started = fm_start(f);
  f->op = 0;
  f->key.reset();
  f->key_len = 0;
  return started != 0;
}

// Compiles one event point starting at sc->cur. 1 when a statement of
// another event point of the range follows (it is then in sc->cur).
int cmpl_ep(ScCtx* sc, const uint8_t* prefix, int len, uint8_t toc_index) {
  DStmt first = sc->cur;
  std::memset(sc->tf, ' ', 5);
  sc->shift = 10;
  bool more = true, other = false;
  // The statement compiled is sc->cur itself; the next one is read into the
  // file's buffer and taken over only while the event point goes on, so at
  // its end sc->cur is still its last statement.
  DStmt next;
  while (more) {
    compile_one(sc, toc_index);
    const DStmt* s = read_stmt(sc);
    if (!s || std::memcmp(s, prefix, size_t(len)) != 0) {
      more = false;
    } else if (!same_ep(*s, first)) {
      more = false;
      other = true;
      next = *s;
    } else {
      sc->cur = *s;
    }
  }
  bld_br(sc, "     ");
  if (!bld_end(&sc->code, false)) sc_err(sc, 101260), sc->failed = true;
  sc->moved = false;
  if (!label_cleanup(sc)) sc->failed = true;
  // A generated COPY left the stream elsewhere: on after the next one.
  if (other && sc->moved) position(sc, reinterpret_cast<const uint8_t*>(&next), DSTMT_KEY_LEN, true);
  if (sc->loops_used)
    for (auto& table : sc->loops)
      for (auto& l : table)
        if (!l.exits.empty()) {
          sc->cur = l.beg;
          sc_err(sc, kScOpenLoop);
          sc->failed = true;
          l.exits.clear();
        }
  sc->loops_used = false;
  sc->pending.clear();
  if (other) sc->cur = next;
  return other ? 1 : 0;
}

void free_sc(void* p) { delete static_cast<ScCtx*>(p); }

// Writes the TRAP records and, but inside sc_cmpl, the TOC records kept so
// far; 0 after the system error.
int put_pending(ScCtx* sc, bool tocs) {
  EmHeader* em = sc->pc->em;
  int ok = ib_put_traps(em, sc->traps.data(), sc->traps.size());
  sc->traps.clear();
  if (ok && tocs) ok = ib_put_tocs(em, sc->tocs.data(), sc->tocs.size());
  if (tocs) sc->tocs.clear();
  return ok;
}

// sc_cmpl running: a COPY body compiled inside leaves its TOC record to it.
struct CmplScope {
  ScCtx* sc;
  explicit CmplScope(ScCtx* s) : sc(s) { ++sc->cmpl_depth; }
  ~CmplScope() { --sc->cmpl_depth; }
  CmplScope(const CmplScope&) = delete;
  CmplScope& operator=(const CmplScope&) = delete;
};

}  // namespace

// ------------------------------------------------------------- public --
bool sc_verb_built(int verb) { return verb >= 0 && verb < kScVerbs && g_verbs[verb].fn != cmpl_unbuilt; }

ScCmplFn sc_set_cmpl_fn(int verb, ScCmplFn fn) {
  ScCmplFn old = g_verbs[verb].fn;
  g_verbs[verb].fn = fn ? fn : cmpl_unbuilt;
  return old;
}

IbCode* sc_code(ScCtx* sc) { return &sc->code; }
uint32_t& sc_msg(ScCtx* sc) { return sc->msg; }
PcCtx* sc_pc(ScCtx* sc) { return sc->pc; }
const DStmt& sc_stmt(ScCtx* sc) { return sc->cur; }
uint8_t* sc_cnst_buf(ScCtx* sc) { return sc->cnst.bytes(); }
std::shared_ptr<void>& sc_fi_state(ScCtx* sc) { return sc->fi; }

void sc_err(ScCtx* sc, uint32_t msg) { pc_add_cmpl_err(sc->pc, kPcErrStmt, &sc->cur, msg, nullptr, 0); }

int sc_fail(ScCtx* sc, uint32_t preset) {
  uint32_t m = sc->msg;
  if (m != kScQuiet) sc_err(sc, m && m != preset ? m : preset);
  return 0;
}

uint32_t sc_tf_no(const char* tf, uint8_t* shift) {
  // 1 true, 2 false, 3 any, by character.
  static constexpr auto kLevel = [] {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = 3;
    t['T'] = t['1'] = 1;
    t['F'] = t['0'] = 2;
    return t;
  }();
  uint32_t mask = 0, any = 0;   // any: bit i when character i means any
  for (int i = 0; i < 5; ++i) {
    uint32_t v = kLevel[uint8_t(tf[i])];
    any |= uint32_t(v == 3) << i;
    mask |= v << (2 * (4 - i));
  }
  if (shift) *shift = uint8_t(any ? 2 * (5 - std::countr_zero(any)) : 0);
  return mask;
}

uint32_t sc_tf_combined(uint32_t m, uint32_t n) {
  uint32_t r = 0;
  for (int i = 0; i < 5; ++i) {
    uint32_t lm = (m >> (2 * i)) & 3, ln = (n >> (2 * i)) & 3;
    r |= (lm == 3 ? ln : lm) << (2 * i);
  }
  return r;
}

int sc_init() { return 1; }

int sc_cmpl(PcCtx* pc, FmArb* stmts, const uint8_t* prefix, int prefix_len) {
  if (!stmts) {
    sys_err(__LINE__, "No statement file");
    return 0;
  }
  auto* sc = static_cast<ScCtx*>(pc->sc.sc);
  if (!sc) {
    // Every member starts as its initializer says; a loop's statement is
    // set when the loop opens (not cleared first: 52 of them).
    sc = new ScCtx;
    pc->sc.sc = sc;
    pc->sc.sc_free = free_sc;
    sc->pc = pc;
    sc->tocs.reserve(32);
    sc->traps.reserve(4096);
  }
  sc->stmts = stmts;
  EmHeader* em = pc->em;
  // Position on the range; no statement: nothing to do.
  if (!position(sc, prefix, prefix_len, false)) {
    sys_err(__LINE__, "sc_cmpl() - dstmt read failed");
    return 0;
  }
  if (!next_stmt(sc, prefix, prefix_len)) return -1;
  if (!pc->sc.started) {
    if (!ib_start(&sc->code, em->inst.get())) {
      sys_err(__LINE__, "inst file create failed");
      return 0;
    }
    pc->sc.started = true;
  }
  uint32_t errors_before = pc->errors;
  CmplScope scope(sc);
  sc->failed = false;
  pc->sc.flags &= uint8_t(~1u);
  for (auto& e : pc->sc.ep_start) e = cref(kNoCode, 0);
  uint8_t keep_flag = 0;
  for (;;) {
    uint8_t ep = sc->cur.event_point;
    if (ep < 120) pc->sc.ep_start[ep] = ib_here(&sc->code);
    IbToc toc;
    uint8_t index = pc->sc.ep_index;
    if (ep != DSTMT_EP_CONSTRAINT) {
      ++pc->sc.ep_index;
      ib_toc_open(em, &toc, ep, index, pc->owner);
    }
    int more = cmpl_ep(sc, prefix, prefix_len, index);
    if (ep != DSTMT_EP_CONSTRAINT) {
      ib_toc_end(em, &toc);
      sc->tocs.push_back(toc);
      if (ep == 21 || ep == 25) keep_flag |= pc->sc.flags & 1;
    }
    if (!more) break;
  }
  if (!put_pending(sc, true)) return 0;
  pc->sc.flags |= keep_flag;
  return pc->errors == errors_before && !sc->failed ? 1 : 0;
}

int sc_cmpl_copy(ScCtx* sc, FmArb* stmts, const uint8_t* prefix, int prefix_len, uint16_t owner) {
  PcCtx* pc = sc->pc;
  EmHeader* em = pc->em;
  if (!stmts) {
    sys_err(__LINE__, "No statement file");
    return 0;
  }
  if (prefix_len > 52) prefix_len = 52;
  // The enclosing event point's TRAP records so far come first in the file.
  if (!put_pending(sc, false)) return 0;
  FmArb* outer = sc->stmts;
  DStmt at = sc->cur;   // the COPY statement (its column already prefixed)
  uint8_t at_ep = sc->own_ep;
  int keep_len = sc->copy_len;
  char keep_tf[5];
  std::memcpy(keep_tf, sc->copy_tf, 5);
  uint8_t keep_ep = sc->copy_ep;
  uint32_t errors_before = pc->errors;
  bool failed_before = sc->failed;
  sc->failed = false;
  sc->stmts = stmts;
  if (!position(sc, prefix, prefix_len, false)) {
    sys_err(__LINE__, "sc_cmpl() - dstmt read failed");
    sc->stmts = outer;
    return 0;
  }
  if (next_stmt(sc, prefix, prefix_len)) {
    IbToc toc;
    uint8_t index = pc->sc.ep_index++;
    ib_toc_open(em, &toc, kIbTocCopy, index, owner);
    int n = 0;
    while (n < 5 && at.tf[n] != ' ') ++n;
    std::memcpy(sc->copy_tf, at.tf.data(), 5);
    sc->copy_len = n;
    sc->copy_ep = at.event_point;
    ++sc->copy_depth;
    DStmt first = sc->cur;
    for (;;) {
      compile_one(sc, index);
      const DStmt* s = read_stmt(sc);
      if (!s || std::memcmp(s, prefix, size_t(prefix_len)) != 0 || !same_ep(*s, first)) break;
      sc->cur = *s;
    }
    --sc->copy_depth;
    sc->copy_len = keep_len;
    std::memcpy(sc->copy_tf, keep_tf, 5);
    sc->copy_ep = keep_ep;
    ib_toc_end(em, &toc);
    sc->tocs.push_back(toc);
    if (!put_pending(sc, sc->cmpl_depth == 0)) {
      sc->stmts = outer;
      sc->cur = at;
      return 0;
    }
  }
  bool failed = sc->failed || pc->errors != errors_before;
  sc->failed = failed_before || failed;
  // Back to the enclosing stream, just after the COPY statement.
  sc->stmts = outer;
  sc->cur = at;
  if (outer) {
    DStmt key = at;
    key.event_point = at_ep;
    position(sc, reinterpret_cast<const uint8_t*>(&key), 52, true);
  }
  return !failed && errors_before == 0 ? 1 : 0;
}

void sc_register() {
  os_set_init(OsInit::Sc, sc_init);
  pc_set_stmt_compiler(sc_cmpl);
  static bool listed = false;
  if (!listed) ii_register_ifn("SC_STMT_LIST", sc_stmt_list);
  if (!listed) ii_register_ifn("PB_VALID_EXPR", pb_valid_expr);
  listed = true;
}

int32_t sc_stmt_list(const uint32_t* args) {
  if (!args || args[0] < 2) return 0;
  auto* a = static_cast<ScListArgs*>(arena::at(args[1]));
  auto* out = static_cast<FmArb*>(arena::at(args[2]));
  if (!a) return 0;
  a->result = 0;
  if (!out || !fm_is_handle(out)) return 0;
  MmPool pool = pc_scratch_pool();
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  char app[4] = {}, ver[3] = {};
  std::memcpy(app, a->app.data(), 3);
  std::memcpy(ver, a->ver.data(), 2);
  FmFdb fdb;
  int opened = fm_open_dict(&fdb, INIT_DSTMT_FDB, kdb, sdb, app, ver, com.depth);
  mm_free(kdb);
  mm_free(sdb);
  if (!opened) return 0;
  FmArb* f = fdb.handle.get();
  PcBuf<DStmt> st;
  PcBuf<DStmt> key;
  key->proc_type = a->type;
  key->proc_name = a->name;
  key->frame_class = a->frame_class;
  key->frame_no = a->frame_no;
  key->image_no = a->image_no;
  key->child_disc = a->child_disc;
  key->blank38.set("  ");
  key->child_no = a->child_no;
  key->event_point = a->ep;
  constexpr int kLen = 45;   // through the event point code
  PROTO_FULL(f, 0, st.bytes());
  f->key.set(key.bytes());
  f->key_len = kLen;
  f->op = FM_OP_AT | FM_OP_KEY;
  int ok = fm_start(f);
  f->op = 0;
  f->key.reset();
  f->key_len = 0;
  PcBuf<uint8_t> line(212);
  while (ok && fm_rdnxt(f) && std::memcmp(st.p, key.p, kLen) == 0) {
    std::memset(line.p, ' ', 212);
    DStmt copy = *st;
    proc_svc.se_gen_stmt(line.p, &copy, 0, 0);
    PROTO_FULL(out, 0, line.bytes());
    out->rec_len = 80;
    int w = fm_write(out);
    out->rec_len = 0;
    if (!w) {
      ok = 0;
      break;
    }
  }
  FM_CLOSE(f, 0);
  if (!ok) return 0;
  a->result = 1;
  return 1;
}

// ------------------------------------------------------------ operands --
namespace {

uint64_t form_hash(const DElem& e, uint16_t len) {
  uint64_t seed = uint64_t(e.type) << 48 | uint64_t(e.length.get()) << 32 | uint64_t(len) << 16 | e.decimals;
  return ut_hash(e.name.data(), sizeof e.name, ut_hash(e.mask.data(), sizeof e.mask, seed));
}

// The form a constant is read in when the reference gives `given`: its
// index in forms.
uint32_t form_of(ScCtx* sc, const DElem& given, int len, bool keep_type) {
  // A literal of no given type is kept as text of its own length.
  const bool no_type = given.type == 0 || (given.type == 1 && !keep_type);
  const uint16_t flen = no_type ? uint16_t(len ? len : 1) : 0;
  auto same = [&](const ScCtx::Form& f) {
    return f.len == flen && std::memcmp(&f.given, &given, sizeof given) == 0;
  };
  uint32_t& hint = sc->form_hint[(reinterpret_cast<uintptr_t>(&given) * 0x9E3779B97F4A7C15ull) >> 56];
  if (hint && same(sc->forms[hint - 1])) return hint - 1;
  uint64_t h = form_hash(given, flen);
  std::vector<uint32_t>& slots = sc->form_slots;
  if (slots.empty()) slots.assign(64, 0);
  size_t slot = h & (slots.size() - 1);
  for (; slots[slot]; slot = (slot + 1) & (slots.size() - 1)) {
    ScCtx::Form& f = sc->forms[slots[slot] - 1];
    if (f.hash == h && same(f)) {
      hint = slots[slot];
      return hint - 1;
    }
  }
  ScCtx::Form& f = sc->forms.emplace_back();
  f.given = given;
  f.len = flen;
  f.hash = h;
  std::memset(static_cast<void*>(&f.out), 0, sizeof f.out);
  DElem& e = f.out.e;
  e = given;
  if (no_type) {
    e.type = 1;
    e.length = flen;
    e.occurs = 1;
  }
  // A constant of no field's form (a zeroed element: two constants
  // compared) has no edit mask.
  if (e.type == 1 && e.mask[0] == '\0') std::memset(e.mask.data(), ' ', sizeof e.mask);
  const uint32_t ix = uint32_t(sc->forms.size() - 1);
  slots[slot] = ix + 1;
  hint = ix + 1;
  // At half full the table doubles.
  if (2 * sc->forms.size() > slots.size()) {
    slots.assign(2 * slots.size(), 0);
    for (size_t i = 0; i < sc->forms.size(); ++i) {
      size_t j = sc->forms[i].hash & (slots.size() - 1);
      while (slots[j]) j = (j + 1) & (slots.size() - 1);
      slots[j] = uint32_t(i + 1);
    }
  }
  return ix;
}

// A constant converted in `given`'s form (see sc_cmpl_cnst): the element it
// took, with its ira; null when it does not convert (the reason in the
// context's message) or after the system error.
const CElem* cnst_of(ScCtx* sc, const char* text, int len, const DElem& given, bool keep_type) {
  PcCtx* pc = sc->pc;
  if (len < 0) len = 0;
  if (len > 256) len = 256;
  const uint32_t form_ix = form_of(sc, given, len, keep_type);
  ScCtx::Form& f = sc->forms[form_ix];
  const DElem& e = f.out.e;
  const bool keep = e.token_mark.get() == 0;
  uint64_t h = 0;
  size_t slot = 0;
  std::vector<uint64_t>& slots = sc->cnst_slots;
  if (keep) {
    h = ut_hash(text, size_t(len), uint64_t(form_ix) * 0x9E3779B97F4A7C15ull);
    if (slots.empty()) slots.assign(1024, 0);
    for (slot = h & (slots.size() - 1); slots[slot]; slot = (slot + 1) & (slots.size() - 1)) {
      if ((slots[slot] >> 32) != (h >> 32)) continue;
      const ScCtx::Cnst& c = sc->cnsts[uint32_t(slots[slot]) - 1];
      if (c.hash != h || c.form != form_ix || c.len != uint32_t(len)) continue;
      const char* kept = uint32_t(len) <= ScCtx::kCnstShort ? c.head : sc->cnst_text.data() + c.text;
      if (std::memcmp(kept, text, size_t(len)) != 0) continue;
      f.out.ira = c.com_ref ? c.com_ref : sc_put_cnst(pc->em, c.value, e.length, 0);
      return &f.out;
    }
  }
  // A form without tokens converts the same way each time: its conversion
  // is built once (a token form's reads the token file).
  CvBlock blk;
  if (!keep || !f.cnv) {
    char app[4] = {}, ver[3] = {};
    std::memcpy(app, pc->app, 3);
    std::memcpy(ver, pc->ver, 2);
    if (!cv_get_cnv(&blk, &e, app, ver)) {
      sys_err(__LINE__, "sc_cmpl_cnst() - bad celem");
      return nullptr;
    }
    if (keep) f.cnv = std::make_unique<CvBlock>(blk);
  } else {
    blk = *f.cnv;
  }
  blk.item = &blk.own;
  // A number is read whole: its text may be wider than the display of the
  // form it takes (leading zeros, a sign, a point), and a cut text would be
  // another value.
  if ((e.type == 5 || e.type == 8 || e.type == 12) && blk.item->ext_len.get() < len)
    blk.item->ext_len = uint16_t(len);
  // The text is read over the item's display width: the buffer holds all of it.
  size_t n = std::max({size_t(e.length), size_t(len), size_t(blk.item->ext_len.get())});
  if (!sc->cnst_in || sc->cnst_in->size() < n + 1)
    sc->cnst_in = std::make_unique<PcBuf<char>>(std::max<size_t>(n + 1, 512));
  char* buf = sc->cnst_in->p;
  std::memset(buf, ' ', n);
  buf[n] = '\0';
  if (len > 0) std::memcpy(buf, text, size_t(len));
  cv_set_addr(&blk, nullptr, buf);
  int in_com = 0;
  if (!cv_get_universal(&blk, 0, &in_com, pc->pool)) {
    sc->msg = kScBadCnst;
    return nullptr;
  }
  f.out.ira = sc_put_cnst(pc->em, blk.item->int_addr.get(), e.length, in_com);
  if (keep) {
    ScCtx::Cnst& c = sc->cnsts.emplace_back();
    c.hash = h;
    c.form = form_ix;
    c.text = uint32_t(sc->cnst_text.size());
    c.len = uint32_t(len);
    std::memcpy(c.head, text, std::min<size_t>(size_t(len), sizeof c.head));
    sc->cnst_text.insert(sc->cnst_text.end(), text, text + len);
    c.value = blk.item->int_addr.get();
    c.com_ref = in_com ? f.out.ira.get() : 0;
    slots[slot] = (h >> 32) << 32 | sc->cnsts.size();
    // At half full the table doubles.
    if (2 * sc->cnsts.size() > slots.size()) {
      slots.assign(2 * slots.size(), 0);
      for (size_t i = 0; i < sc->cnsts.size(); ++i) {
        const uint64_t k = sc->cnsts[i].hash;
        size_t j = k & (slots.size() - 1);
        while (slots[j]) j = (j + 1) & (slots.size() - 1);
        slots[j] = (k >> 32) << 32 | (i + 1);
      }
    }
  }
  return &f.out;
}

}  // namespace

uint32_t sc_put_cnst(EmHeader* em, const void* value, uint16_t len, int in_com) {
  if (!in_com && len) {
    FmArb* f = em->cnst.get();
    if (fm_mem_append(f, value, len)) return uint32_t(f->rid);
  }
  return pc_put_cnst(em, value, len, in_com);
}

int sc_cmpl_cnst(ScCtx* sc, const char* text, int len, CElem* elem, bool keep_type) {
  const CElem* c = cnst_of(sc, text, len, elem->e, keep_type);
  if (!c) return 0;
  elem->e = c->e;
  elem->ira = c->ira;
  return 1;
}

const CElem* sc_cnst(ScCtx* sc, const char* text, int len, const DElem* form, bool keep_type) {
  static const DElem kNoForm{};
  return cnst_of(sc, text, len, form ? *form : kNoForm, keep_type);
}

namespace {

uint64_t fld_hash(const uint64_t* w) {
  uint64_t h = (w[0] ^ (w[1] << 13 | w[1] >> 51) ^ (w[2] << 29 | w[2] >> 35) ^ (w[3] << 43 | w[3] >> 21)) *
               0x9E3779B97F4A7C15ull;
  h = (h ^ (h >> 32)) * 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 29);
}

// The field an operand names (pc_fld_ref of its application and name, the
// first occurrence), found again by the operand's bytes.
const CElem* fld_ref(ScCtx* sc, const ScOpnd& op, const char* app, const char* name) {
  PcCtx* pc = sc->pc;
  static_assert(offsetof(ScOpnd, app) == 4 && offsetof(ScOpnd, text) + 22 == 29);
  uint64_t w[4];
  const auto* b = reinterpret_cast<const uint8_t*>(&op);
  std::memcpy(w, b + 4, 16);
  std::memcpy(w + 2, b + 13, 16);
  const uint64_t h = fld_hash(w);
  std::vector<ScCtx::FldRef>& t = sc->fld_refs;
  if (sc->fld_gen != pc->fields.generation() || t.empty()) {
    t.assign(256, ScCtx::FldRef{});
    sc->fld_count = 0;
    sc->fld_gen = pc->fields.generation();
  }
  size_t mask = t.size() - 1, i = h & mask;
  for (; t[i].e; i = (i + 1) & mask) {
    const uint64_t* k = t[i].w;
    if (((k[0] ^ w[0]) | (k[1] ^ w[1]) | (k[2] ^ w[2]) | (k[3] ^ w[3])) == 0) return t[i].e;
  }
  const CElem* got = pc_fld_ref(app, name, 1, pc);
  // (A reference that fails is not kept: it reports again.)
  if (!got) return nullptr;
  std::memcpy(t[i].w, w, sizeof w);
  t[i].e = got;
  // At half full the table doubles.
  if (2 * ++sc->fld_count > t.size()) {
    std::vector<ScCtx::FldRef> old(2 * t.size(), ScCtx::FldRef{});
    old.swap(t);
    mask = t.size() - 1;
    for (const ScCtx::FldRef& r : old) {
      if (!r.e) continue;
      size_t j = fld_hash(r.w) & mask;
      while (t[j].e) j = (j + 1) & mask;
      t[j] = r;
    }
  }
  return got;
}

// An operand compiled (see sc_cmpl_ref): its element, copied into *copy when
// given (a constant read in copy's form), else where the compile keeps it (a
// constant read in `form`, see sc_ref); null when refused.
const CElem* cmpl_ref(ScCtx* sc, const ScOpnd& op, CElem* copy, const DElem* form, int reg, int* kind,
                      uint32_t options) {
  PcCtx* pc = sc->pc;
  if (ut_is_all(op.app.data(), ' ', 3)) {
    if (kind) *kind = 2;
    if (options & kScRefTarget) {
      sc->msg = kScNoTarget;
      return nullptr;
    }
    int len = (options & kScRefCnstLen) ? int(op.occ.get()) : 22;
    if (len > 22) len = 22;
    const bool keep_type = options & kScRefKeepType;
    const CElem* c = copy ? (sc_cmpl_cnst(sc, op.text.data(), len, copy, keep_type) ? copy : nullptr)
                          : sc_cnst(sc, op.text.data(), len, form, keep_type);
    if (!c) return nullptr;
    if (reg && !bld_cnst(&sc->code, c->ira, reg)) {
      sc->msg = kScBadReg;
      return nullptr;
    }
    return c;
  }
  char app[4] = {}, name[23] = {};
  std::memcpy(app, op.app.data(), 3);
  std::memcpy(name, op.text.data(), 22);
  if (kind) *kind = std::memcmp(app, "0LA", 3) == 0 ? 1 : 0;
  if (name[1] == 'L' && std::memcmp(app, "0LA", 3) == 0 && std::memcmp(name, "ALTERNATE IMAGE NUMBER", 22) == 0)
    pc->sc.flags |= 1;
  pc->em->status = 0;
  const CElem* got = fld_ref(sc, op, app, name);
  if (!got) {
    uint32_t st = pc->em->status;
    if (st == kPcNoApp && reg) bld_abort(&sc->code, kPcNoApp);
    sc->msg = st ? st : kScBadOcc;
    return nullptr;
  }
  if (copy) *copy = *got;
  const CElem* elem = copy ? copy : got;
  if ((options & kScRefTarget) && (options & kScRefStrictTarget) && (elem->spare[0] & kCElemNoTarget)) {
    sc->msg = kScNoTarget;
    return nullptr;
  }
  if (options & (kScRefIra3 | kScRefIra2)) {
    if (!copy) {
      sys_err(__LINE__, "an operand's own area entry needs an element of its own");
      return nullptr;
    }
    copy->ira = pc_get_ira(pc, app, copy->e.area, (options & kScRefIra3) ? 3 : 2, copy->field_offset);
  }
  uint16_t occurs = elem->e.occurs ? uint16_t(elem->e.occurs) : 1;
  uint16_t mode = op.occ_mode, occ = op.occ;
  if (!reg) {
    if (mode == 0 && occ > occurs) {
      sc->msg = kScBadOcc;
      return nullptr;
    }
    return elem;
  }
  if (mode == 0 && occ >= 2) {
    if (occ > occurs) {
      sc->msg = kScBadOcc;
      return nullptr;
    }
    if (!bld_ira_occ(&sc->code, elem->ira, elem->e.length, occ, reg)) {
      sc->msg = kScBadOcc;
      return nullptr;
    }
  } else if (!bld_ira(&sc->code, elem->ira, reg)) {
    sc->msg = mode == 2 || mode == 0 ? kScBadOcc : kScBadReg;
    return nullptr;
  }
  if (mode == 1) {
    char oname[23];
    std::memset(oname, ' ', 22);
    oname[22] = 0;
    oname[0] = char(op.occ.get() & 0xFF);
    oname[1] = char(op.occ.get() >> 8);
    const CElem* oc = pc_fld_ref("0LA", oname, 1, pc);
    if (!oc) {
      sc->msg = kScBadOcc;
      return nullptr;
    }
    // The occurrence moves read a binary word or a variable packed value
    // (8 bytes and a scale byte); a field of any other form, a fixed packed
    // one among them, would be read past its end: it does not compile, as
    // in an image's index.
    uint8_t t = oc->e.type;
    uint8_t* p = nullptr;
    if (t == 5) p = bld_occ_bin(&sc->code, oc->ira, reg, elem->e.length, occurs);
    else if (t == 12) p = bld_occ_pd(&sc->code, oc->ira, reg, elem->e.length, occurs);
    if (!p) {
      sc->msg = kScBadOccFld;
      return nullptr;
    }
  }
  return elem;
}

}  // namespace

int sc_cmpl_ref(ScCtx* sc, const ScOpnd& op, CElem* elem, int reg, int* kind, uint32_t options) {
  if (!elem) {
    sys_err(__LINE__, "Null celem pointer");
    return 0;
  }
  return cmpl_ref(sc, op, elem, nullptr, reg, kind, options) ? 1 : 0;
}

const CElem* sc_ref(ScCtx* sc, const ScOpnd& op, const DElem* form, int reg, int* kind, uint32_t options) {
  return cmpl_ref(sc, op, nullptr, form, reg, kind, options);
}

// ---------------------------------------------------- for the families --
uint8_t sc_shift(ScCtx* sc) { return sc->shift; }

void sc_patch(ScCtx* sc, CodeRef inst, CodeRef to) { patch(sc, inst, to); }
void sc_patch_at(ScCtx* sc, CodeRef inst, int off, CodeRef to) {
  if (uint8_t* p = at(sc, inst)) rec::view<CodeRef>(p + off) = to;
  else sys_err(__LINE__, "label resolution failure");
}

void sc_tf_restate(ScCtx* sc) {
  const char* col = sc->cur.tf.data();
  if (std::memcmp(col, sc->tf, 5) == 0) {
    resolve_labels(sc, ib_here(&sc->code));
    if (col[0] == ' ') sc->shift = 10;
  } else {
    bld_br(sc, col);
    std::memcpy(sc->tf, col, 5);
  }
}

void sc_label_ref(ScCtx* sc, const char* app, const char* name, CodeRef inst, bool gosub) {
  Label* l = find_label(sc, app, name, true);
  // Only a label that GOSUBs alone reference may become an inline subroutine.
  l->gosub = l->refs.empty() ? gosub : l->gosub && gosub;
  l->refs.push_back(inst);
}

void sc_loop_open(ScCtx* sc, bool binary, int letter, CodeRef beg) {
  auto& l = sc->loops[binary][letter];
  sc->loops_used = true;
  l.exits.push_back(beg);
  l.beg = sc->cur;
}

bool sc_loop_close(ScCtx* sc, bool binary, int letter) {
  auto& l = sc->loops[binary][letter];
  if (l.exits.empty()) return false;
  CodeRef after = ib_here(&sc->code);
  for (const CodeRef& r : l.exits) patch(sc, r, after);
  l.exits.clear();
  return true;
}

CodeRef sc_ref_of(ScCtx* sc, const uint8_t* p) { return cref(sc->code.block, uint16_t(p - sc->code.storage)); }

int sc_cmpl_made(ScCtx* sc, const DStmt& st, ScCmplFn fn) {
  DStmt keep = sc->cur;
  uint32_t msg = sc->msg;
  sc->cur = st;
  if (st.verb < kScVerbs && g_verbs[st.verb].preset) sc->msg = g_verbs[st.verb].preset;
  int r = fn ? fn(sc, &sc->cur) : st.verb < kScVerbs ? g_verbs[st.verb].fn(sc, &sc->cur) : 0;
  sc->cur = keep;
  sc->msg = msg;
  return r;
}

namespace {
const CElem* ref_0la(ScCtx* sc, const char* name, CElem* copy, int reg) {
  ScOpnd op;
  std::memset(static_cast<void*>(&op), ' ', sizeof op);
  op.occ = 0;
  op.occ_mode = 0;
  op.app.set("0LA");
  size_t n = std::strlen(name);
  std::memcpy(op.text.data(), name, n > 22 ? 22 : n);
  int kind = 0;
  return cmpl_ref(sc, op, copy, nullptr, reg, &kind, 0);
}
}  // namespace

int sc_ref_0la(ScCtx* sc, const char* name, CElem* elem, int reg) {
  if (!elem) {
    sys_err(__LINE__, "Null celem pointer");
    return 0;
  }
  return ref_0la(sc, name, elem, reg) ? 1 : 0;
}

const CElem* sc_ref_0la_at(ScCtx* sc, const char* name, int reg) { return ref_0la(sc, name, nullptr, reg); }

int sc_get_primary_key(ScCtx* sc, ScOpnd* out, const char* app, const char* file_name) {
  PcCtx* pc = sc->pc;
  char name[22];
  pc->em->status = 0;
  if (!pc_primary_key(pc, app, file_name, name)) {
    sc->msg = pc->em->status ? uint32_t(pc->em->status) : kPcNoField;
    return 0;
  }
  std::memset(static_cast<void*>(out), 0, sizeof *out);
  out->occ_mode = 2;
  std::memcpy(out->app.data(), app, 3);
  std::memcpy(out->text.data(), name, 22);
  return 1;
}

int sc_cmpl_sum(ScCtx* sc, const ScOpnd& op, CElem* elem, int reg, int level) {
  PcCtx* pc = sc->pc;
  if (ut_is_all(op.app.data(), ' ', 3)) {
    sc->msg = kScNoTarget;
    return 0;
  }
  char app[4] = {}, name[23] = {};
  std::memcpy(app, op.app.data(), 3);
  std::memcpy(name, op.text.data(), 22);
  uint16_t occ = op.occ_mode == 0 && op.occ > 1 ? uint16_t(op.occ) : uint16_t(1);
  pc->em->status = 0;
  if (!pc_fld(app, name, occ, elem, pc)) {
    uint32_t st = pc->em->status;
    sc->msg = st == kPcOccHigh ? kScBadOcc : st ? st : kScBadOcc;
    return 0;
  }
  uint32_t acc = pc_sum_ref(app, elem, occ, 2, pc);
  if (reg && (!bld_ira_sum(&sc->code, acc, reg) || (level && !bld_ira_bucket(&sc->code, reg)))) {
    sc->msg = kScBadReg;
    return 0;
  }
  return 1;
}
