// The statement compiler driver: the STMT records of a process into
// instructions, TOC and TRAP records of its module.
//
// The process compiler calls sc_cmpl once per owner of statements (through
// pc_set_stmt_compiler) with the statement file positioned at the owner's
// key prefix. sc_cmpl compiles event point after event point (cmpl_ep):
// every statement goes to the compile function of its verb in the verb
// table; runs of statements with one T/F column share one truth-mask
// branch; labels are resolved at the end of each event point. A compile
// function that fails records a CMPL_ERR record of kind 7 (sc_err) and the
// compile goes on; sc_cmpl then reports failure.
//
// Decisions:
//   1. Truth-level shift: 2 x (5 - p), p the 0-based position of the first
//      T/F character that is neither 'T', 'F', '1' nor '0'; a column without
//      one gives 0, a blank first column 10.
//   2. Forward references (branches waiting for their target, label uses)
//      live in containers of the context as code references {block, offset}
//      of the instruction; nothing is chained through pointers.
//   3. sc_cmpl_ref takes named options (ScRef*), not a flag word in which
//      "IRA kind 3" (8) and "IRA kind 2" (22) overlap.
//   4. A code operand of block 65535 is never relocated (no code).
//   5. A verb whose compile function is not built yet records a compile
//      error with its preset number (200140 where none): a module never
//      holds a statement that silently does nothing.
#pragma once

#include <cstdint>
#include <memory>

#include "files/dictrec.h"
#include "foundation/cv.h"
#include "foundation/macros.h"
#include "language/ib.h"

struct PcCtx;
struct ScCtx;
struct EmHeader;
struct FmArb;

constexpr int kScVerbs = 105;
constexpr uint32_t kScQuiet = 48879;      // 0xBEEF: a statement the compiler generated
constexpr uint32_t kScNoVerb = 200140;    // an unbuilt verb without a preset

// Compile messages of the driver and its verbs.
constexpr uint32_t kScUndefLabel = 100940;
constexpr uint32_t kScDupLabel = 101410;
constexpr uint32_t kScOpenLoop = 100910;
constexpr uint32_t kScNoTarget = 102360;
constexpr uint32_t kScBadOcc = 102720;
constexpr uint32_t kScBadOccFld = 102730;
constexpr uint32_t kScBadReg = 100900;
constexpr uint32_t kScBadCnst = 102520;
constexpr uint32_t kScProcInQuery = 100890;

using ScCmplFn = int (*)(ScCtx* sc, DStmt* st);
// Replaces a verb's compile function (the statement families as they are
// built; tests). The previous one.
ScCmplFn sc_set_cmpl_fn(int verb, ScCmplFn fn);
// Whether the verb has a compile function yet (a check names the verbs
// that do not).
bool sc_verb_built(int verb);

// ------------------------------------------------------------- context --
// What a compile function reaches.
IbCode* sc_code(ScCtx* sc);
uint32_t& sc_msg(ScCtx* sc);
PcCtx* sc_pc(ScCtx* sc);
const DStmt& sc_stmt(ScCtx* sc);
// A 16-byte buffer in the arena for a constant on its way to the constant
// file (written from where it lies, not copied there first).
uint8_t* sc_cnst_buf(ScCtx* sc);
// pc_put_cnst for the compile functions: the constant's record appended to
// the module's constant file without the general write's steps when that
// file takes it so (fm_mem_append), else written by pc_put_cnst; the same
// record id and record either way.
uint32_t sc_put_cnst(EmHeader* em, const void* value, uint16_t len, int in_com);
// The file statements' own part of the context (their open BEG READ loops).
std::shared_ptr<void>& sc_fi_state(ScCtx* sc);

// Records compile error kind 7 with the current statement.
void sc_err(ScCtx* sc, uint32_t msg);
// A statement that does not compile: records the message a reference's
// compile left in the context, else the verb's preset message (none for a
// statement the compiler generated); 0.
int sc_fail(ScCtx* sc, uint32_t preset);

// ------------------------------------------------------------- driver --
int sc_init();
// The process compiler's hook: compiles the statements of the stream whose
// key begins with prefix. 1 without errors, 0 with, -1 when the stream
// holds no statement.
int sc_cmpl(PcCtx* pc, FmArb* stmts, const uint8_t* prefix, int prefix_len);
// Copy mode (the COPY verb): compiles the statements of the stream whose
// key begins with prefix, up to the end of their first event point, into
// the current event point, after the COPY statement (sc_stmt): each one's
// T/F column is the COPY's column up to its first blank followed by its
// own, its verb sees the COPY's event point code, and its labels resolve
// with the enclosing event point's. The body gets a TOC record of code 81
// whose owner is `owner`. The enclosing stream goes on after the COPY. 1
// when neither the body nor the enclosing compile recorded an error.
int sc_cmpl_copy(ScCtx* sc, FmArb* stmts, const uint8_t* prefix, int prefix_len, uint16_t owner);
// Registers sc_init and the hook (main).
void sc_register();

// Truth masks (10 bits, level 1 in bits 8-9; 1 true, 2 false, 3 any).
uint32_t sc_tf_no(const char* tf, uint8_t* shift);
uint32_t sc_tf_combined(uint32_t m, uint32_t n);

// ------------------------------------------------------ listing --
// Argument block of SC_STMT_LIST (56 bytes): the owner and event point
// whose statements are listed.
struct ScListArgs {
  rec::Text<3> app;        // 0
  rec::Text<2> ver;        // 3
  rec::Text<30> name;      // 5  process name
  rec::U8 type;            // 35 process type
  rec::U8 frame_class;     // 36
  rec::Bytes<3> b37;
  rec::U32 frame_no;       // 40
  rec::U8 image_no;        // 44
  rec::U8 child_disc;      // 45
  rec::Bytes<2> b46;
  rec::U32 child_no;       // 48
  rec::U8 ep;              // 52 event point code
  rec::Bytes<2> b53;
  rec::U8 result;          // 55 1 listed, 0 the statement file could not be opened
};
QV_RECORD(ScListArgs, 56);
QV_AT(ScListArgs, frame_no, 40);
QV_AT(ScListArgs, child_no, 48);
QV_AT(ScListArgs, result, 55);
// The internal function SC_STMT_LIST (CALL): args[1] the argument block,
// args[2] an open file of 80-byte records that receives one line per
// statement of that event point, in sequence order (the statement editor's
// text). Answers the result byte.
int32_t sc_stmt_list(const uint32_t* args);

// ------------------------------------------------------- operands --
// Operand reference of a STMT operand area (30 bytes).
struct ScOpnd {
  rec::U16 occ;         // occurrence, constant length, or the occurrence field's two letters
  rec::U8 occ_mode;     // 0 number, 1 from a field, 2 the field as a whole, other: no occurrence handling
  rec::U8 b3;           // not read (the statement text keeps a blank here)
  rec::Text<3> app;     // blank: a constant
  rec::Text<22> text;   // field name or constant text
  rec::U8 spare;
};
QV_RECORD(ScOpnd, 30);
QV_AT(ScOpnd, app, 4);
QV_AT(ScOpnd, text, 7);

enum ScRef : uint32_t {
  kScRefTarget = 1u << 0,      // the operand is stored into: no constant
  kScRefStrictTarget = 1u << 1,// and no field that carries the not-a-target mark
  kScRefIra3 = 1u << 2,        // take an IRA index of kind 3 for the field
  kScRefIra2 = 1u << 3,        // ... of kind 2
  kScRefCnstLen = 1u << 4,     // a constant's length is the operand's occ word (else 22)
  kScRefKeepType = 1u << 5,    // the constant keeps its own type
};
// 1, or 0 with the reason in the context's message. kind: 0 field, 1 a
// predefined field of "0LA", 2 a constant. reg 1-4 emits the register load.
int sc_cmpl_ref(ScCtx* sc, const ScOpnd& op, CElem* elem, int reg, int* kind, uint32_t options);
int sc_cmpl_cnst(ScCtx* sc, const char* text, int len, CElem* elem, bool keep_type);
// As sc_cmpl_ref, without a copy of the operand's element: a field's element
// where the compile keeps it; for a constant, read in the form `form` gives
// (null: none) as sc_cmpl_ref reads it in elem's, the element it took, with
// the ira of this reference. The element stays where it is until the
// statement compiler's context ends (a constant's ira until the next
// constant of that form). Null when refused, the reason in the context's
// message. Not for kScRefIra3 and kScRefIra2 (they change the element).
const CElem* sc_ref(ScCtx* sc, const ScOpnd& op, const DElem* form, int reg, int* kind, uint32_t options);
// As sc_cmpl_cnst, the constant read in the form `form` gives (null: none):
// the element it took, kept as sc_ref keeps it.
const CElem* sc_cnst(ScCtx* sc, const char* text, int len, const DElem* form, bool keep_type);
// A reference to the TOTAL accumulator of a field occurrence: its SUM
// records (the field's summary numbers, marked as totals), and for reg 1-4
// IRA_SUM into the register, with level set also IRA_BUCKET (the bucket of
// the current total level). 1, or 0 with the reason in the context's
// message (a constant: 102360; the field's own statuses; 102720 for an
// occurrence above the field's).
int sc_cmpl_sum(ScCtx* sc, const ScOpnd& op, CElem* elem, int reg, int level);
// Fills out (occurrence mode 2, the application, the field's name) with the
// field of the primary key of a file: 1, or 0 with the reason in the
// context's message and the process compile's status (101910 for an
// unknown application).
int sc_get_primary_key(ScCtx* sc, ScOpnd* out, const char* app, const char* file_name);
