// Loop plans: the body of a packed loop run as one native program between
// END LOOP's back edge and the loop's end (see iiutil.h).
//
// When END LOOP of a packed loop jumps back, its plan (built once, kept by
// the END LOOP's arena offset) runs the body for as many iterations as it
// can decide alone. A body has a plan when every instruction on the way
// from the loop-back address to the END LOOP is one of:
//   IRA_n and CNST_n (address registers), SET_ADDR_LEN, NOP, GHOST;
//   a CALC statement whose plan (iimath.cpp) has only pushes, + - *,
//   negation and the store;
//   COMPUTE (COMPUTE_OPRND twice, the operation, the store) into an 8-byte
//   variable packed field by +, - or * of one, or of a fixed packed field
//   of 1-8 bytes at a scale of 0-31, or a constant, by the CALC plans'
//   rules; into such a fixed packed field (the store at its scale) by the
//   same operations, the result (within 64 bits, a scale of 31 at most)
//   stored by the field's rule (below); or into a signed 4-byte binary at scale 0 (a CALC
//   integer: its field's register) by + or - of a binary field of 1, 2 or
//   4 bytes or a constant at scale 0, the sum within the word's range
//   (leaving register 3 at work value 1 and its first byte '1', as
//   COMPUTE_OPRND does: over what a compare before it left there);
//   SET_PD_TO_BIN into such a signed word from a variable packed value or
//   a fixed packed one of 1-8 bytes at a scale of 0-31 (rounded half away
//   from zero, within -(2^31 - 1) .. 2^31 - 1), and SET_BIN_TO_PD into an
//   8-byte variable packed field (a move: the value at that scale) or a
//   fixed packed one from a binary of 1, 2 or 4 bytes at a scale of 0-31;
//   MOVE_FIX_VAR into a fixed packed field from a variable packed value,
//   and MOVE_VAR_FIX into a variable packed field from a fixed packed one
//   (a move: the value at that scale);
//   a compare-expansion of two packed operands, each an 8-byte variable
//   value or a fixed packed field of 1-8 bytes at a scale of 0-31,
//   followed by IF_PD;
//   IF_BIN of two binary operands of 1, 2 or 4 bytes at scales of 0-31
//   (fields or constants the body never stores: read on entry; elements,
//   below: read each time);
//   IF_DAT of two dates, fields or constants (compared by the
//   instruction's own comparison, once on entry unless a write below may
//   change one, its dates apart from every stored register and the loop
//   control block; one that does not convert is the instruction's to
//   report);
//   IF_STR_EQ, and the IF_STR_REST after it, of two texts, fields or
//   constants the body never stores (compared once on entry, as the
//   instructions compare, each apart from every stored register and the
//   loop control block; the comparison IF_STR_EQ leaves in work value 1 is
//   written back when no packed compare ran after it);
//   MOVE_CHAR and MOVE_CHAR_PAD of a text field from a text field or
//   constant, and DATE ADD of days to a text date from the century to the
//   day (by the instruction's own add; one it cannot make is the
//   instruction's to report), made in place as the body runs: the target
//   apart from every register, constant, fixed field, the loop control
//   block, the area words the body reads and its code; what they read
//   apart from every register the body stores and the loop control block;
//   a date or a text compared under a target is compared each time;
//   OCC_PD and OCC_BIN of an address register IRA loaded with an array,
//   by an index that is a register of the plan (a packed field, or a
//   signed word the OCC_BIN reads; the loop variable mostly), its integer
//   part as the instruction takes it: the element is no register but a
//   place in memory, read and written in place as the body runs, its
//   address computed each time within the instruction's bounds (1 up to
//   ii_occ_last, found on entry: the plan leaves before an OCC out of
//   them, whose instruction gives 102710); an element may be the signed
//   word SET_PD_TO_BIN stores, the binary SET_BIN_TO_PD or IF_BIN reads, a
//   text move's target or source, or a text compare's operand (compared
//   each time). Every element the OCC may reach lies apart as a text move's
//   target does when the body writes one, as its source when it reads
//   one, and a date or text compared under one is compared each time;
//   CHK_TF (AND, OR) and TFC and TFU branching forward inside the body;
//   GOSUB of a routine after the END LOOP, called once in the body and
//   calling none itself: its instructions (the same kinds, branching
//   forward inside it) are walked in place up to its RETURNs, which give
//   the caller's mask back and go on after the GOSUB; a plan that leaves
//   inside the routine leaves its return entry as GOSUB would have;
//   a packed loop inside the body (months of a year, lines of an order):
//   BEG LOOP of FROM, TO and STEP each an 8-byte variable packed field (a
//   register of the plan) or constant, whose END LOOP lies in the body,
//   its exit right after that END LOOP, of the same control block and not
//   the body's own, no branch from before it going into it, none from
//   inside it going out, no loop inside it: the plan runs it itself, as
//   the instructions would, its control block (apart from every register,
//   constant, fixed field, the loop control block, the area words the body
//   reads and its code) written as its last BEG LOOP and END LOOP left it
//   and the interpreter's list of loops told it began at each write back
//   (an entry waits while that list is full without it). The plan leaves before its BEG LOOP when
//   FROM, TO or STEP is no integer, and before its END LOOP as before the
//   body's own (below); a register its END LOOP leaves other than its BEG
//   LOOP found it takes a shadow at the top of its body (found by a walk
//   of that body alone first), set on the way in and on the way back;
// and the END LOOP itself. Each distinct field is one register: a 64-bit
// value and its scale. A fixed packed field the body stores is a register
// of its length (1-8) and scale (0-31), which every read of it reads (one
// read at another length or scale refuses the body); one it never stores
// is read on entry. A store into it (MOVE_FIX_VAR, SET_BIN_TO_PD, COMPUTE)
// takes the value to the field's scale as the instructions do
// (`ii_shift64`: up exactly, down rounded half away from zero), within its
// digits (below 10^(2 len - 1)), else the plan leaves before the
// instruction. The plan runs only while every register holds a
// valid value in its canonical bytes (a zero positive) with a scale of
// 0-31 (a negative one, which a CALC result past 15 digits leaves, is the
// instructions' to read), so that the bytes are a function of value and
// scale, and the loop's
// FROM, TO and STEP are integers: it then reads them once, computes
// natively by the CALC plans' rules (scales aligned, a product's trailing
// zero decimals dropped, a division as the instructions divide: by a
// constant of 2s and 5s through its factor, found when the plan is built),
// and writes every register it stores into back,
// with the truth mask, the address and length registers, the last
// compare's work values, the depth of the calculation stack and the loop
// control block, as the instructions would have left them:
//   1. when the loop ends (END LOOP's own exit);
//   2. before a statement it cannot decide (an overflow of 64 bits, a value
//      past 15 digits, a scale past 31, the older multiply, a COMPUTE sum
//      or a SET outside its binary word, a store past a fixed field's
//      digits), or a compare
//      whose alignment leaves 64 bits: the interpreter resumes at that
//      instruction, which then gives the instructions' outcome (the exact
//      path, 300540, the OVERFLOW label);
//   3. before END LOOP, the body's or an inner loop's, when the step
//      leaves 15 digits or the variable has decimals (its 16-byte path);
//   4. before an instruction still to be relocated (its first run), when
//      branches lead around it: the plan is built again after it ran;
//   5. at each yield, at the top of the body or before an inner loop's
//      END LOOP: the interpreter yields once the instructions started
//      since the last yield pass kIiYieldEvery, and the plan counts each of
//      its own steps as one (an iteration as its longest path, an inner
//      loop's body in it once, and each further iteration of the inner
//      loop as its body's longest path), so it yields at least as often in
//      time; all is written back before ss_yield runs, and when the trace
//      or the debugger came on meanwhile, the interpreter goes on there
//      instead.
// Registers that no instruction of the body changes are never written. An
// address register an OCC left at an element holds what its last run
// computed (taken from the interpreter on entry when the body's end leaves
// it there). Where
// paths that leave the address and length registers or the depth of the
// calculation stack different meet, the plan keeps that register's value in
// a shadow that each path sets on its way in (at most kMaxShadows). A plan is checked on every entry
// against a copy of the body's bytes and of its constants, and the sign
// nibbles their values were read by (code relocated again, replaced, a CALC
// statement planned anew, or other sign nibbles, build it again); each
// entry checks that the interpreter's registers hold what the body's end
// leaves (a GOTO into the body does not), that every area word the body
// reads holds its data area, and that no register overlaps another, a
// constant or the loop control block, nor a fixed field or date a stored
// register or the block. An entry is made cheap for an inner loop entered
// again and again: the registers are read through the value cache (a hit
// is bytes it decoded or saw stored: valid, at a scale of 0-31; a zero must
// still be the positive one; a fixed packed register is read from its
// bytes, canonical), TO and STEP taken from the loop's memo while
// their bytes are the memo's, and the overlaps checked again only when a
// register, fixed field or the control block lies elsewhere than at the
// last entry that passed them (Plan::seen: they depend on nothing else,
// the constants' places being the code's). The plan itself is found in a
// slot of the plans last found (find_plan), what the entry reads is laid
// out when the plan is built (prepare_entry: texts, dates and occurrences
// are placed only in bodies that have them, and at BEG LOOP only the
// registers that must hold what the body's end leaves are looked at), and
// the write back takes a value it wrote the last time, as a loop's end or
// a compared constant, in the bytes it encoded then (Plan::written). No
// plan runs while the interpreter looks at every instruction (trace,
// debugger, step and break bits).
//
// Byte 3 of END LOOP (zero in compiled code; relocated code is never saved)
// counts back edges to skip: a body waiting for a statement's first run,
// one refused, or an entry that did not run, is looked at again later. (An
// inner loop's BEG LOOP and END LOOP count so for their own plan: the code
// an outer plan rests on leaves their bytes 3 out.)
//
// A loop's first iteration: once the plan has run at END LOOP's back edge,
// the END LOOP marks the BEG LOOP right before the body (byte 3: 1; its
// exit past this END LOOP and its control block the same). BEG LOOP then
// enters the plan at the top of the body as soon as it goes into it
// (ii_loop_begin), its bytes and back address checked as on every entry,
// with the registers as the instructions before the loop left them: see
// first_entry for why the plan's nodes hold and what its exits then write.
// An inner loop entered again and again thus runs planned from its first
// iteration (one of a single iteration has no back edge and no plan). An
// entry that does not start (a register of Plan::live_top not as the body's
// end leaves it, say) makes BEG LOOP skip the next kWaitNoEntry ones, and
// two entries in a row that end the loop within kShortRun iterations the
// next kWaitShort (an entry costs more than such a loop on the instructions).
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "foundation/pacdec.h"
#include "foundation/ssunix.h"
#include "language/ibctl.h"
#include "language/ibdate.h"
#include "language/ibfld.h"
#include "language/ibmath.h"
#include "language/ibtst.h"
#include "language/ibutil.h"
#include "language/iiutil.h"

namespace {

uint64_t g_iterations = 0;
uint64_t g_builds = 0;
uint64_t g_firsts = 0;
uint64_t g_inner = 0;

constexpr uint8_t kWaitFirstRun = 16;  // back edges before looking again
constexpr uint8_t kWaitRefused = 255;
constexpr uint8_t kWaitNoEntry = 64;
constexpr uint8_t kWaitShort = 200;
constexpr uint64_t kShortRun = 3;  // iterations an entry must run to pay for itself
constexpr int kMaxSlots = 64;
constexpr int kMaxCmps = 8;
constexpr int kMaxShadows = 16;
constexpr int kMaxFixedSets = 32;
constexpr size_t kMaxDates = 8;
constexpr size_t kMaxTexts = 8;
constexpr size_t kMaxMovs = 8;
constexpr int64_t kLimit15 = 1000000000000000LL;  // 10^15

uint32_t off(const uint8_t* p) { return uint32_t(p - ii_arena); }
// The loop control block of the END LOOP at p.
uint8_t* end_block(uint8_t* p) { return ii_field(reinterpret_cast<const uint8_t*>(&rec::view<IbEndLoop>(p).ira)); }
uint16_t op_of(const uint8_t* p) { return rec::view<IbInst>(const_cast<uint8_t*>(p)).op; }
uint32_t u32_at(const uint8_t* p) { return rec::view<rec::U32>(const_cast<uint8_t*>(p)).get(); }
uint64_t u64_at(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// ---------------------------------------------------- abstract state --
// What an address register, length register, the work values and the
// calculation stack's depth hold at a point of the body: what they held
// on entry, a known value, or (paths disagreeing) unknown.
// kShadow: paths that disagree meet (a branch target): the plan keeps the
// value at run time, in shadow v (see Builder::join). kElem: the element
// occurrence v (Plan::occs) last moved the register to, which the plan
// keeps at run time too (Run::occ_at).
enum : uint8_t { kUnknown = 0, kEntry = 1, kField = 2, kConst = 3, kWork = 4, kValue = 5, kShadow = 6, kElem = 7 };
struct Item {
  uint8_t kind = kEntry;
  uint32_t v = 0;
  bool operator==(const Item&) const = default;
};
// Whether what an item names stays while the plan runs (an edge's
// assignment of it is made once: Run::fixed_set).
inline bool stays(const Item& it) { return it.kind != kShadow && it.kind != kElem; }
Item merge(Item a, Item b) { return a == b ? a : Item{kUnknown, 0}; }
struct Abs {
  Item addr[4], len[4], work, depth;
  bool operator==(const Abs&) const = default;
  // (The work values are followed as the plan runs: the last compare.)
  bool known() const {
    for (int k = 0; k < 4; ++k)
      if (addr[k].kind == kUnknown || len[k].kind == kUnknown) return false;
    return depth.kind != kUnknown;
  }
};
Abs merge(const Abs& a, const Abs& b) {
  Abs r;
  for (int k = 0; k < 4; ++k) {
    r.addr[k] = merge(a.addr[k], b.addr[k]);
    r.len[k] = merge(a.len[k], b.len[k]);
  }
  r.work = merge(a.work, b.work);
  r.depth = merge(a.depth, b.depth);
  return r;
}

// ------------------------------------------------------------ plans --
// kAddZ and kSubZ add and subtract a lazy product or quotient (see
// Node::lazy); kMulAdd and kDivAdd are such a product or quotient and the
// add or subtract right after it in one node (which skips that node). An
// add is even, a subtract odd.
enum : uint8_t {
  kAdd, kSub, kMul, kDiv, kNeg, kMov, kCmp, kCmpTfc, kTfc, kChk, kJmp, kEdge, kCall, kRet, kExit, kEnd,
  kAddZ, kSubZ, kDivK, kMulAdd, kDivAdd, kCmpDat, kStBin, kCmpTxt, kMovTxt, kSumW, kToW, kDateAdd, kToFix,
  kOccAt, kToWAt, kLdBin, kBeg, kEndIn
};
struct Node {
  const void* go;      // its code in run (set on the plan's first run)
  uint8_t kind;
  uint8_t d, a, b;     // value slots
  uint8_t chk;         // a store: the result must keep 15 digits
  uint8_t cmp;         // kCmp: its work-value pair
  uint16_t exit;       // where it leaves when it cannot decide
  uint16_t to;         // kTfc, kChk, kJmp, kRet, kEndIn: the node (kBeg: past its loop); kEnd: the exit after the loop
  uint16_t top;        // kEnd: the exit at the top of the body
  uint16_t cost;       // instructions it stands for
  uint32_t keep;       // kCmp: the mask bits kept; kTfc: the condition; kChk: the level's shift
  uint32_t set[3];     // kCmp: the bits set for less, equal, greater
  uint32_t cond;       // kCmpTfc: the TFC's condition (the TFC that follows it); kChk: 1 for OR
  uint16_t as_first;   // kEdge: its assignments (Plan::sets)
  uint16_t as_n;
  uint8_t jump;        // kEdge: goes on at `to` (a branch's), else at the next node
  // kSumW, COMPUTE into a signed word: a + b, or a - b when neg. kToW,
  // SET of a packed value into a signed word: a rounded to an integer.
  // kToFix, a store into a fixed packed register: a shifted to its scale
  // kd (ii_shift64), its magnitude below f (the field's limit).
  // kDivK, a division by a constant whose only prime factors are 2 and 5:
  // the quotient is a x f at the scale of a plus kd, negated when neg.
  // lazy (kMul, kDivK): its trailing zero decimals are left to the add or
  // subtract that reads it. kAddZ, kSubZ: the operand that is lazy (1 a,
  // 2 b).
  uint8_t lazy, neg, lz;
  int8_t kd;
  // kCmp, kCmpTfc with a constant operand (kc 1 a, 2 b): that constant at
  // the other operand's scale csc, as the last run aligned it (-1 none).
  uint8_t kc;
  mutable int8_t csc;
  uint8_t dat;  // kCmpDat: its entry of Plan::dates; kCmpTxt: of Plan::texts; kMovTxt: of Plan::movs;
                // kDateAdd: of Plan::dadds; kOccAt, kToWAt, kLdBin: of Plan::occs; kBeg, kEndIn: of Plan::inner
  // kOccAt, an occurrence: the element of index a (its integer part) of
  // f bytes each, within the bounds found on entry. kToWAt, SET of a
  // packed value into a signed word element: a rounded to an integer (as
  // kToW) and stored there. kLdBin, SET of a binary element into packed: its
  // value (IF_BIN's operand code lz) at scale kd into d. kBeg, BEG LOOP of
  // an inner loop: FROM a, TO b and STEP d (its variable: InLoop::var).
  // kEndIn, its END LOOP: the variable a stepped, back to node `to` (its
  // body's top) with f steps more counted, or on past it.
  union {
    uint64_t f;
    mutable int64_t cv;
  };
};
static_assert(sizeof(Node) == 64, "a node is a cache line: the next one a shift away");
// A compare's effect on the truth mask: the bits kept, and the bits set for
// less, equal and greater (the relation's truth at the level's shift, the
// lower levels' bits on). A shift outside 2-10 leaves the mask as it was.
void truth_masks(Node& n, uint32_t shift, int rel) {
  if (shift < 2 || shift > 10) {
    n.keep = ~0u;
    return;
  }
  uint32_t low = shift - 2;
  n.keep = ((~0u) << shift) & 0x3FF;
  for (int c = 0; c < 3; ++c) n.set[c] = uint32_t(ii_rel(c - 1, rel)) << low | ((1u << low) - 1);
}
// An assignment of an edge into a join: shadow `sid` takes what register
// `k` (0-3 address, 4-7 length, 8 the depth of the calculation stack)
// holds on that edge.
struct ShadowSet {
  uint16_t sid;
  uint8_t k;
  Item it;
};
struct Exit {
  uint32_t pc;  // arena offset the interpreter goes on at
  Abs st;
  uint32_t call_ret = 0;  // inside a GOSUB's routine: the return address's offset
  uint16_t first = 0, n = 0;  // the registers it writes: Plan::writes (list_states)
  // Those of them that no instruction sets on the way from the top of the
  // body: left as they are when it is taken on the first iteration of an
  // entry at BEG LOOP (first_entry).
  uint16_t keep = 0;
};
// Register k (0-3 address, 4-7 length, 8 the depth of the calculation
// stack) and what it holds.
struct RegItem {
  uint8_t k;
  Item it;
};
struct Reg {
  uint32_t word;  // the area word's arena offset
  bool stored;
  bool bin = false;  // a binary field of 4 bytes, signed (a CALC integer), at scale 0
  uint8_t flen = 0;  // a fixed packed field the body stores: its length (1-8)
  int fsc = 0;       //   and its scale (0-31)
  uint8_t other = 0;  // not a variable packed value: bin or flen (prepare_entry)
  size_t len() const { return flen ? flen : bin ? 4 : 9; }
};
struct Cnst {
  uint32_t at;
  uint8_t len;  // 9: a variable packed constant (its scale in byte 8); 1-8: a fixed one
  uint8_t bytes[9];
  int64_t v;
  int sc;
};
// A fixed packed field a compare reads (the body never stores it), or a
// binary field or constant an IF_BIN reads: read on entry.
struct Fixed {
  uint32_t word;  // the area word's arena offset (a binary constant: its own)
  uint8_t len;    // 1-8
  int sc;
  uint8_t bin = 0;  // binary: IF_BIN's operand code (1-6), len its size
  bool direct = false;  // a constant
};
constexpr uint8_t kNoWork = 0xFF;  // Node::cmp of an IF_BIN: no work values
// An IF_DAT: the instruction and its two operands, a field or a constant
// each (the body never stores a date: compared once on entry).
struct DateCmp {
  uint32_t pc;
  Item op[2];
  uint16_t len[2];  // their stored lengths
};
// An IF_STR_EQ and the IF_STR_REST after it if any: two texts, a field or a
// constant each (neither one the body stores: compared once on entry).
struct TextCmp {
  Item op[2];
  uint16_t len;      // IF_STR_EQ's
  uint16_t diff = 0;  // IF_STR_REST's (0: none)
  uint16_t shorter = 0;
  uint8_t longer = 0;
  // The bytes of operand j the compare reads.
  size_t extent(int j) const { return longer == j + 1 ? std::max<size_t>(len, size_t(shorter) + diff) : len; }
};
// MOVE_CHAR and MOVE_CHAR_PAD: a text field from a text field or constant,
// len bytes and pad blanks after them, made in place as the body runs.
struct TextMov {
  Item op[2];
  uint16_t len, pad;
  size_t written() const { return size_t(len) + pad; }
};
// DATE ADD of days to a text date from the century to the day, made in
// place as the body runs: the instruction, the date and the count (its
// stored length).
struct DateAdd {
  static constexpr size_t kLen = 8;  // the date's bytes
  uint32_t pc;
  Item op[2];
  uint16_t count_len;
};
// OCC_PD, OCC_BIN: an address register IRA loaded with an array (area
// word `word`) moved to element n of elem_len bytes, n an index register's
// integer part, 1 up to the instruction's last (ii_occ_last, found on
// entry). The bytes from an element's start that the body reads and writes
// through it (rd, wr): an element is a place in memory, read and written in
// place as the body runs.
struct Occ {
  uint32_t pc;
  uint32_t word = 0;
  uint32_t elem_len = 0;
  uint32_t rd = 0, wr = 0;
};
constexpr size_t kMaxOccs = 8;
// A packed loop inside the body (BEG LOOP ... END LOOP, its exit right
// after that END LOOP), run by the plan itself: the arena offsets of its
// BEG LOOP, END LOOP and body, its variable's slot, and the bytes the last
// TO and STEP it began with took (under the sign nibbles of Plan::pair, the
// only ones the plan runs under).
struct InLoop {
  uint32_t beg = 0, end = 0, body = 0;
  int var = 0;
  mutable int64_t to_v = INT64_MIN, step_v = INT64_MIN;  // (never one of 15 digits)
  mutable uint64_t to_raw = 0, step_raw = 0;
};
constexpr size_t kMaxInner = 4;
struct Plan {
  bool refused = false;
  std::vector<std::pair<uint32_t, uint32_t>> spans;  // code copied: [from, to) offsets
  uint64_t end_word = 0;                             // and END LOOP's first 8 but byte 3 (copy_code)
  uint64_t pair = 0;                                 // and the sign nibbles its constants were read by
  std::vector<std::pair<uint32_t, uint32_t>> subs;   // the GOSUB routines' code: [from, to)
  std::vector<uint8_t> code;
  uint32_t end_pc = 0, back = 0;
  std::vector<Node> nodes;
  std::vector<Exit> exits;
  std::vector<Reg> regs;     // slots 0..regs-1
  std::vector<Cnst> cnsts;   // the slots after them
  std::vector<Fixed> fixes;  // the slots after those
  std::vector<DateCmp> dates;
  std::vector<TextCmp> texts;
  std::vector<TextMov> movs;
  std::vector<DateAdd> dadds;
  std::vector<Occ> occs;
  std::vector<InLoop> inner;  // in the order of the code
  Abs top;                   // the state at the top of the body (= at END LOOP)
  std::vector<RegItem> tops;    // what top says of the registers on entry (list_states)
  std::vector<RegItem> writes;  // what the exits write
  std::vector<uint8_t> stored;  // the registers the body stores
  // An entry at BEG LOOP (the loop's first iteration): whether it may be
  // made, and the registers (bit k: 0-3 address, 4-7 length, 8 the depth)
  // that must then hold what the body's end leaves (see first_entry).
  bool firsts = false;
  uint16_t live_top = 0x1FF;
  int ncmp = 0;
  uint32_t per_iter = 1;     // steps of an iteration at most (its longest path)
  std::vector<uint32_t> words;  // the area words IRA instructions read
  std::vector<ShadowSet> sets;  // the edges' assignments into shadows
  std::vector<std::pair<uint32_t, int>> sids;  // shadow ids: (join offset, register)
  int misses = 0;            // entries in a row that ran no iteration
  int shorts = 0;            //   and that saw the loop end after a few
  uint8_t nslots = 0;        // the value slots its nodes use
  bool linked = false;       // the nodes' code set (Node::go)
  bool linked_old_mul = false;  //   under the older multiply or not
  // The offsets of the registers, the fixed fields and the loop control
  // block the last entry found apart (run, apart): regs, fixes, block.
  std::vector<uint32_t> seen;
  bool seen_ok = false;
  // What an entry reads, laid out for it once (prepare_entry):
  uint8_t nregs = 0, ncnsts = 0, nfixes = 0;  // of regs, cnsts, fixes
  bool extras = false;               // occurrences, text moves, DATE ADDs, dates or texts to place
  bool entry_regs = false;           // an edge copies a register as the entry found it (Run::e_addr)
  std::vector<uint32_t> words_more;  // the area words no register or fixed field reads too
  std::vector<RegItem> tops_first;   // of tops, those an entry at BEG LOOP looks at
  std::vector<uint8_t> stored_vp;    // the stored registers of variable packed values
  std::vector<uint8_t> stored_other;  //   and the others (binary words, fixed packed)
  // The bytes each stored register and work value took at the last write
  // (under the sign nibbles of Plan::pair, the only ones the plan runs
  // under), so that a value written again, as a loop's end or a constant
  // compared, is not encoded again.
  struct Written {
    int64_t v = INT64_MIN;  // (never one of 15 digits)
    uint64_t raw = 0;
  };
  mutable std::vector<Written> written;  // regs, then the two work values
};

std::unordered_map<uint32_t, Plan>& plans() {
  static std::unordered_map<uint32_t, Plan> m;
  return m;
}
// The plans last found, by their END LOOP's offset: an inner loop entered
// again and again finds its plan in one slot. A plan's place in the map
// stays until it is erased, and every erase empties the slots (forget_hot).
struct HotPlan {
  uint32_t key = 0;
  Plan* pl = nullptr;
};
HotPlan g_hot[16];
Plan* find_plan(uint32_t key) {
  HotPlan& h = g_hot[(key >> 3) & 15];
  if (h.key == key && h.pl) [[likely]]
    return h.pl;
  auto it = plans().find(key);
  if (it == plans().end()) return nullptr;
  h = {key, &it->second};
  return h.pl;
}
void forget_hot() {
  for (HotPlan& h : g_hot) h = {};
}

// The value of the 8 packed bytes w (as pacdec::load8 reads them).
[[gnu::always_inline]] inline bool decode_word(uint64_t w, int64_t* v) {
  uint64_t sg = w & 0xF, d = w >> 4;
  if (!pacdec::digits_ok(d) || (sg != com.pd_pos && sg != com.pd_neg)) return false;
  int64_t m = int64_t(pacdec::bcd_to_bin(d));
  *v = sg == com.pd_neg ? -m : m;
  return true;
}
[[gnu::always_inline]] inline bool decode(const uint8_t* p, int64_t* v) { return decode_word(pacdec::load8(p), v); }
uint64_t encode(int64_t v) {
  uint64_t a = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  return pacdec::bin_to_bcd(a) << 4 | (v < 0 ? com.pd_neg : com.pd_pos);
}
// A value whose 8 bytes are its canonical form (a zero positive): valid
// digits and sign nibble give back the same bytes, but for a zero.
bool canonical(const uint8_t* p, int64_t* v) {
  return decode(p, v) && (*v != 0 || (pacdec::load8(p) & 0xF) == com.pd_pos);
}
// The same for a fixed packed field of len bytes (1-8), read a byte at a
// time (a copy of so few bytes of a length known only here starts slower).
bool canonical_fixed(const uint8_t* p, int len, int64_t* v) {
  uint64_t w = 0;
  for (int i = 0; i < len; ++i) w = w << 8 | p[i];
  return decode_word(w, v) && (*v != 0 || (w & 0xF) == com.pd_pos);
}


// |v| < 10^15: 15 digits.
inline bool fits15(int64_t v) { return uint64_t(v) + uint64_t(kLimit15 - 1) <= uint64_t(2 * (kLimit15 - 1)); }
// A work value: 16 bytes of packed, as a compare-expansion leaves them (a
// value of 15 digits: eight zero bytes, then its own eight).
void work_put(uint8_t* w, int64_t v) {
  uint64_t a = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  if (fits15(v)) {
    uint64_t raw = pacdec::bcd_mem_signed(a, v < 0 ? com.pd_neg : com.pd_pos);
    std::memset(w, 0, 8);
    std::memcpy(w + 8, &raw, 8);
    return;
  }
  pacdec::encode(w, 16, pacdec::u128(a), v < 0);
}
// The 8 bytes of values of 15 digits as the packed instructions store
// them, the last two kept: a move's source and target, or a compared
// register and the work value it leaves, are encoded once.
struct Bytes15 {
  int64_t v[2] = {INT64_MIN, INT64_MIN};  // (never one of 15 digits)
  uint64_t raw[2] = {0, 0};
  uint64_t of(int64_t x, uint64_t pair) {
    if (x == v[0]) return raw[0];
    if (x == v[1]) return raw[1];
    uint64_t a = x < 0 ? uint64_t(0) - uint64_t(x) : uint64_t(x);
    v[1] = v[0];
    raw[1] = raw[0];
    v[0] = x;
    raw[0] = pacdec::bcd_mem_signed(a, x < 0 ? pair >> 8 : pair & 0xFF);
    return raw[0];
  }
};
// The 8 bytes of a value of 15 digits as the packed instructions store it
// under the sign nibbles of pair.
uint64_t raw15(int64_t x, uint64_t pair) {
  uint64_t a = x < 0 ? uint64_t(0) - uint64_t(x) : uint64_t(x);
  return pacdec::bcd_mem_signed(a, x < 0 ? pair >> 8 : pair & 0xFF);
}
// The last two values of 15 digits written back, kept from one entry to the
// next (an inner loop entered again and again writes a constant's value to
// the work values each time), while the sign nibbles are the same.
Bytes15& written15(uint64_t pair) {
  static Bytes15 b15;
  static uint64_t b15_pair = ~uint64_t(0);
  if (pair != b15_pair) {
    b15 = Bytes15{};
    b15_pair = pair;
  }
  return b15;
}
// v * 10^k within 64 bits.
constexpr int64_t kP10[19] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000,
                              10000000000, 100000000000, 1000000000000, 10000000000000, 100000000000000,
                              1000000000000000, 10000000000000000, 100000000000000000, 1000000000000000000};
inline bool up64(int64_t& v, int k) { return v == 0 || (k <= 18 && !__builtin_mul_overflow(v, kP10[k], &v)); }
// Drops the trailing zero decimals of v at scale s.
void trim(int64_t& v, int& s) {
  uint64_t m = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  ii_trim64(m, s);
  v = v < 0 ? int64_t(uint64_t(0) - m) : int64_t(m);
}

// ----------------------------------------------------------- building --
enum class Built { Plan, Refused, NotYet };

struct Builder {
  Builder(Plan& p, uint8_t* e, uint8_t* k) : pl(p), end(e), back(k) {}
  Plan& pl;
  uint8_t* end;
  uint8_t* back;
  int temps = 0;
  std::vector<std::pair<uint32_t, uint16_t>> labels;   // instruction offset, node
  std::vector<std::pair<uint16_t, uint32_t>> fixups;   // node, target offset
  struct Pending {
    uint32_t to;  // branch target
    Abs st;
    uint16_t node;
  };
  std::vector<Pending> pending;
  // Branches that go through an edge node into their join: branch node, edge node.
  std::vector<std::pair<uint16_t, uint16_t>> redirects;
  std::vector<Node> tramps;                            // the branches' edge nodes, added at the end
  std::vector<uint32_t> tramp_to;                      // their joins' offsets
  std::vector<std::array<int, 3>> slots;               // per node: a, b, d before numbering

  // The register of a field, packed or binary; -1 for a field read both
  // ways.
  int reg(uint32_t word, bool bin = false, int flen = 0, int fsc = 0) {
    for (size_t i = 0; i < pl.regs.size(); ++i) {
      const Reg& g = pl.regs[i];
      if (g.word == word) return g.bin == bin && g.flen == flen && g.fsc == fsc ? int(i) : -1;
    }
    pl.regs.push_back({word, false, bin, uint8_t(flen), fsc});
    return int(pl.regs.size() - 1);
  }
  // The fixed packed fields the body stores (found by the first walk): each
  // a register of its length and scale, which every read of it reads.
  std::vector<uint32_t> fixed_stored;
  bool stores_fixed(uint32_t word) const {
    return std::find(fixed_stored.begin(), fixed_stored.end(), word) != fixed_stored.end();
  }
  // The register of a fixed packed field of len bytes (1-8) at scale sc
  // (0-31) that an instruction stores.
  int fixed_reg(uint32_t word, int len, int sc) {
    if (len < 1 || len > 8 || sc < 0 || sc > 31) return -1;
    int r = reg(word, false, len, sc);
    if (r >= 0) pl.regs[size_t(r)].stored = true;
    return r;
  }
  // Constants are numbered after the registers once the walk is done.
  // A variable packed constant (len 9), or a fixed one of len bytes at scale sc.
  int cnst(uint32_t at, int len = 9, int sc = 0) {
    if (len == 9) sc = ii_arena[at + 8];
    for (size_t i = 0; i < pl.cnsts.size(); ++i)
      if (pl.cnsts[i].at == at && pl.cnsts[i].len == len && pl.cnsts[i].sc == sc) return 1000 + int(i);
    Cnst c{};
    c.at = at;
    c.len = uint8_t(len);
    std::memcpy(c.bytes, ii_arena + at, size_t(len));
    c.sc = sc;
    if (c.sc > 31 || !(len == 9 ? canonical(c.bytes, &c.v) : canonical_fixed(c.bytes, len, &c.v))) return -1;
    pl.cnsts.push_back(c);
    return 1000 + int(pl.cnsts.size() - 1);
  }
  int fixed(uint32_t word, int len, int sc, uint8_t bin = 0, bool direct = false) {
    if (!bin && !direct && stores_fixed(word)) return reg(word, false, len, sc);
    for (size_t i = 0; i < pl.fixes.size(); ++i) {
      const Fixed& f = pl.fixes[i];
      if (f.word == word && f.len == len && f.sc == sc && f.bin == bin && f.direct == direct) return 3000 + int(i);
    }
    pl.fixes.push_back({word, uint8_t(len), sc, bin, direct});
    return 3000 + int(pl.fixes.size() - 1);
  }
  int temp() { return 2000 + temps++; }
  // The occurrence at pc (found again by the second walk: the state at the
  // top names the first's); -1 past kMaxOccs.
  int occ_of(uint32_t pc) {
    for (size_t i = 0; i < pl.occs.size(); ++i)
      if (pl.occs[i].pc == pc) return int(i);
    if (pl.occs.size() >= kMaxOccs) return -1;
    pl.occs.push_back({pc});
    return int(pl.occs.size() - 1);
  }
  // An operand it that is an element: rd bytes read, wr written from its start.
  void touch(const Item& it, uint32_t rd, uint32_t wr) {
    if (it.kind != kElem) return;
    Occ& o = pl.occs[it.v];
    o.rd = std::max(o.rd, rd);
    o.wr = std::max(o.wr, wr);
  }
  // A GOSUB's routine being walked: where it returns to, where it starts,
  // and the end of its code walked so far.
  uint8_t* sub_ret = nullptr;
  uint32_t sub_from = 0, sub_to = 0;
  // An inner loop being walked (its Plan::inner entry) and the state at the
  // top of its body; no_inner: a walk of an inner loop's body alone (which
  // takes no loop inside it).
  int in_at = -1;
  Abs in_top;
  bool no_inner = false;
  // The last instruction a branch of the code being walked may reach: the
  // END LOOP of the inner loop walked, else the body's.
  uint32_t last_target() const { return in_at >= 0 ? pl.inner[size_t(in_at)].end : off(end); }

  uint16_t exit_at(const uint8_t* pc, const Abs& st) {
    pl.exits.push_back({off(pc), st, sub_ret ? off(sub_ret) : 0});
    return uint16_t(pl.exits.size() - 1);
  }
  Node& add(uint8_t kind, uint16_t cost) {
    Node n{};
    n.kind = kind;
    n.cost = cost;
    pl.nodes.push_back(n);
    return pl.nodes.back();
  }

  // One CALC statement at pc, its plan's steps as nodes over value slots
  // (numbered by finish: registers, constants 1000 on, temporaries 2000
  // on); the statement's exit is its reset, for any node that may fail.
  Built calc(uint8_t* pc, Abs& cur, uint16_t cost, uint8_t** next) {
    IiPlanView v;
    int r = ii_math_plan_view(pc, &v);
    if (r <= 0) return r == 0 ? Built::NotYet : Built::Refused;
    constexpr uint16_t ex = 0xFFFF;  // set below when a node may leave
    std::vector<int> st;
    int target = -1;
    Item last;
    size_t first = pl.nodes.size();
    for (int i = 0; i < v.n; ++i) {
      const IiPlanStep& x = v.step[i];
      switch (x.kind) {
        case 1: {
          Item it{uint8_t(x.is_cnst ? kConst : kField), x.off};
          last = it;
          if (target < 0) {
            if (x.is_cnst) return Built::Refused;
            target = reg(x.off, x.arg == kIiBin);
            if (target < 0) return Built::Refused;
            st.push_back(target);
            break;
          }
          int slot = x.is_cnst ? cnst(x.off) : reg(x.off, x.arg == kIiBin);
          if (slot < 0) return Built::Refused;
          st.push_back(slot);
          break;
        }
        case 2: {
          if (st.size() < 3 || x.arg < 1 || x.arg > 4) return Built::Refused;
          int b = st.back();
          st.pop_back();
          int a = st.back();
          st.pop_back();
          add(x.arg == 1 ? kAdd : x.arg == 2 ? kSub : x.arg == 3 ? kMul : kDiv, 0).exit = ex;
          int t = temp();
          slots.push_back({a, b, t});
          st.push_back(t);
          break;
        }
        case 3: {
          if (st.size() < 2) return Built::Refused;
          int a = st.back();
          st.pop_back();
          Node& n = add(kNeg, 0);
          n.exit = ex;
          int t = temp();
          slots.push_back({a, a, t});
          st.push_back(t);
          break;
        }
        case 4: {
          if (st.size() != 2 || i != v.n - 1) return Built::Refused;
          int val = st.back();
          if (pl.regs[size_t(target)].bin) {  // a binary target: the value rounded into its word
            Node& n = add(kStBin, 0);
            n.exit = ex;
            slots.push_back({val, val, target});
          } else if (pl.nodes.size() > first && val >= 2000 && slots.back()[2] == val) {
            // The last operation stores into the target itself.
            slots.back()[2] = target;
            pl.nodes.back().chk = 1;
          } else {
            // A register or constant always fits: a move cannot fail.
            Node& n = add(kMov, 0);
            n.chk = val >= 2000;
            n.exit = ex;
            slots.push_back({val, val, target});
          }
          pl.regs[size_t(target)].stored = true;
          break;
        }
        default: return Built::Refused;
      }
    }
    if (pl.nodes.size() == first) return Built::Refused;
    bool may_leave = false;
    for (size_t i = first; i < pl.nodes.size(); ++i)
      may_leave |= pl.nodes[i].kind != kMov || pl.nodes[i].chk;
    if (may_leave) {
      uint16_t e = exit_at(pc, cur);
      for (size_t i = first; i < pl.nodes.size(); ++i) pl.nodes[i].exit = e;
    }
    pl.nodes.back().cost = cost;
    cur.addr[0] = last;
    cur.depth = Item{kValue, 1};
    *next = ii_arena + v.next;
    return Built::Plan;
  }

  // COMPUTE at pc (its first COMPUTE_OPRND; IRA_1 loaded the target, IRA_2
  // or CNST_2 the operand), its four instructions as one node that leaves
  // before them when it cannot decide:
  //   a variable packed register by +, - or * of a variable packed register
  //   or constant, or of a fixed packed field or constant of 1-8 bytes at a
  //   scale of 0-31: the CALC nodes' add, subtract and product stored (15
  //   digits, 64 bits, a scale of 31 at most);
  //   a signed word at scale 0 (a CALC integer's register) by + or - of a
  //   binary field or constant at scale 0: the sum within the word's range
  //   (kSumW).
  // The instructions leave the stack's depth 2, and of a binary target
  // register 3 at work value 1, its first byte '1' (Run::have_wk).
  bool compute(uint8_t*& p, Abs& cur, uint16_t cost) {
    const auto& t = rec::view<IbComputeOprnd>(p);
    uint8_t* q = ii_adv(p, 10);
    uint8_t* o = ii_adv(q, 10);
    uint8_t* e = ii_adv(o, 6);
    if ((!sub_ret && e >= end) || t.which != 1 || (op_of(q) | 1) != 711) return false;
    const auto& f = rec::view<IbComputeOprnd>(q);
    uint16_t op = op_of(o) | 1, eq = op_of(e) | 1;
    int arg = rec::view<IbMath>(o).arg;
    Item ti = cur.addr[0], fi = cur.addr[1];
    if (f.which != 2 || ti.kind != kField || (fi.kind != kField && fi.kind != kConst)) return false;
    bool bin = t.type == kIiBin;
    int a, b;
    uint8_t kind;
    if (bin) {
      int code = f.len == 4 ? 1 : f.len == 2 ? 2 : f.len == 1 ? 3 : 0;
      if (op != 721 || eq != 723 || (arg != 1 && arg != 2) || t.len != 4 || !t.is_signed || t.scale != 0 ||
          f.type != kIiBin || f.scale != 0 || code == 0)
        return false;
      code += f.is_signed ? 3 : 0;
      a = reg(ti.v, true);
      b = fi.kind == kField && code == 4 ? reg(fi.v, true) : fixed(fi.v, f.len, 0, uint8_t(code), fi.kind == kConst);
      kind = kSumW;
    } else {
      if ((op != 729 && op != 731 && op != 733) || eq != 737) return false;
      if (t.type == kIiPdVar && t.len == 9)
        a = reg(ti.v);
      else if (t.type == kIiPdFix && rec::view<IbMath>(e).scale == t.scale)
        a = fixed_reg(ti.v, t.len, t.scale);
      else
        return false;
      if (f.type == kIiPdVar && f.len == 9)
        b = fi.kind == kField ? reg(fi.v) : cnst(fi.v);
      else if (f.type == kIiPdFix && f.len >= 1 && f.len <= 8 && f.scale <= 31)
        b = fi.kind == kField ? fixed(fi.v, f.len, f.scale) : cnst(fi.v, f.len, f.scale);
      else
        return false;
      kind = op == 729 ? kAdd : op == 731 ? kSub : kMul;
    }
    if (a < 0 || b < 0) return false;
    Node& n = add(kind, uint16_t(cost + 3));
    n.neg = bin && arg == 2;
    n.exit = exit_at(p, cur);
    if (const Reg& g = pl.regs[size_t(a)]; g.flen) {
      // The result within 64 bits and a scale of 31, then stored by the
      // target's rule.
      int y = temp();
      slots.push_back({a, b, y});
      to_fix(y, a, n.exit, 0);
    } else {
      n.chk = 1;
      slots.push_back({a, b, a});
    }
    pl.regs[size_t(a)].stored = true;
    cur.depth = Item{kValue, 2};
    if (bin) cur.addr[2] = Item{kWork, 0};
    p = ii_adv(e, 6);
    return true;
  }

  // SET between packed and a signed word at scale 0 (a CALC integer's
  // register), IRA_1 and IRA_2 or CNST_2 before it:
  //   SET_PD_TO_BIN of a variable packed register or constant, or a fixed
  //   packed field or constant of 1-8 bytes at a scale of 0-31: shifted to
  //   an integer (half away from zero) within -(2^31 - 1) .. 2^31 - 1, else
  //   the plan leaves before it (kToW);
  //   SET_BIN_TO_PD into a variable packed register of a binary field or
  //   constant of 1, 2 or 4 bytes at a scale of 0-31: its value at that
  //   scale (a move: it always fits).
  // The word of SET_PD_TO_BIN's target, or the binary SET_BIN_TO_PD reads,
  // may be an element an occurrence chose: stored there as the body runs
  // (kToWAt), read there (kLdBin).
  // Neither changes any register of the interpreter.
  bool set_bin(uint8_t*& p, const Abs& cur, uint16_t op, uint16_t cost) {
    Item ti = cur.addr[0], fi = cur.addr[1];
    const bool t_el = op == 417 && ti.kind == kElem, f_el = op == 415 && fi.kind == kElem;
    if ((ti.kind != kField && !t_el) || (fi.kind != kField && fi.kind != kConst && !f_el)) return false;
    int a, b;
    uint8_t kind;
    if (op == 417) {
      const auto& in = rec::view<IbSetPdToBin>(p);
      if (in.tgt_len != 4 || !in.tgt_signed || in.tgt_scale != 0) return false;
      if (in.var_source && in.src_len == 9)
        b = fi.kind == kField ? reg(fi.v) : cnst(fi.v);
      else if (!in.var_source && in.src_len >= 1 && in.src_len <= 8 && in.src_scale <= 31)
        b = fi.kind == kField ? fixed(fi.v, in.src_len, in.src_scale) : cnst(fi.v, in.src_len, in.src_scale);
      else
        return false;
      if (t_el) {
        if (b < 0) return false;
        Node& n = add(kToWAt, cost);
        n.exit = exit_at(p, cur);
        n.dat = uint8_t(ti.v);
        slots.push_back({b, b, b});
        touch(ti, 0, 4);
        p = ii_adv(p, 16);
        return true;
      }
      a = reg(ti.v, true);
      kind = kToW;
    } else {
      const auto& in = rec::view<IbSetBinToPd>(p);
      int code = in.src_len == 4 ? 1 : in.src_len == 2 ? 2 : in.src_len == 1 ? 3 : 0;
      if (in.scale > 31 || code == 0) return false;
      if (in.var_target && in.tgt_len == 9)
        a = reg(ti.v);
      else if (!in.var_target)
        a = fixed_reg(ti.v, in.tgt_len, in.tgt_scale);
      else
        return false;
      code += in.src_signed ? 3 : 0;
      if (f_el) {
        if (a < 0) return false;
        bool to_fixed = pl.regs[size_t(a)].flen != 0;
        int d = to_fixed ? temp() : a;
        Node& n = add(kLdBin, cost);
        n.dat = uint8_t(fi.v);
        n.lz = uint8_t(code);
        n.kd = int8_t(in.scale);
        slots.push_back({d, d, d});
        if (to_fixed) to_fix(d, a, exit_at(p, cur), 0);
        touch(fi, in.src_len, 0);
        pl.regs[size_t(a)].stored = true;
        p = ii_adv(p, 16);
        return true;
      }
      b = fi.kind == kField && code == 4 && in.scale == 0
              ? reg(fi.v, true)
              : fixed(fi.v, in.src_len, in.scale, uint8_t(code), fi.kind == kConst);
      kind = kMov;
    }
    if (a < 0 || b < 0) return false;
    if (pl.regs[size_t(a)].flen) {
      to_fix(b, a, exit_at(p, cur), cost);
    } else {
      Node& n = add(kind, cost);
      if (kind == kToW) n.exit = exit_at(p, cur);
      slots.push_back({b, b, a});
    }
    pl.regs[size_t(a)].stored = true;
    p = ii_adv(p, 16);
    return true;
  }

  // A store of slot `from` into fixed packed register `to` (kToFix): shifted
  // to its scale, up exactly and down rounded half away from zero, and
  // within its digits, else the plan leaves at `exit`, before the
  // instruction (whose outcome is 300540, the field unchanged).
  void to_fix(int from, int to, uint16_t exit, uint16_t cost) {
    const Reg& g = pl.regs[size_t(to)];
    Node& n = add(kToFix, cost);
    n.exit = exit;
    n.kd = int8_t(g.fsc);
    n.f = uint64_t(pacdec::limit(g.flen));
    slots.push_back({from, from, to});
  }

  // The packed moves between variable and fixed forms, IRA_1 and IRA_2 or
  // CNST_2 before them:
  //   MOVE_FIX_VAR into a fixed packed field of 1-8 bytes at a scale of
  //   0-31 from a variable packed register or constant (kToFix);
  //   MOVE_VAR_FIX into a variable packed register from a fixed packed
  //   field or constant of 1-8 bytes at a scale of 0-31: its value at that
  //   scale (a move: it always fits).
  // Neither changes any register of the interpreter.
  bool move_fix(uint8_t*& p, const Abs& cur, uint16_t op, uint16_t cost) {
    Item ti = cur.addr[0], fi = cur.addr[1];
    if (ti.kind != kField || (fi.kind != kField && fi.kind != kConst)) return false;
    if (op == 111) {
      const auto& in = rec::view<IbMoveFixVar>(p);
      int a = fixed_reg(ti.v, in.len, in.scale);
      int b = fi.kind == kField ? reg(fi.v) : cnst(fi.v);
      if (a < 0 || b < 0) return false;
      to_fix(b, a, exit_at(p, cur), cost);
      p = ii_adv(p, 8);
      return true;
    }
    const auto& in = rec::view<IbMoveVarFix>(p);
    if (in.len < 1 || in.len > 8 || in.scale > 31) return false;
    int a = reg(ti.v);
    int b = fi.kind == kField ? fixed(fi.v, in.len, in.scale) : cnst(fi.v, in.len, in.scale);
    if (a < 0 || b < 0) return false;
    add(kMov, cost);
    slots.push_back({b, b, a});
    pl.regs[size_t(a)].stored = true;
    p = ii_adv(p, 6);
    return true;
  }

  // BEG LOOP at p of a packed loop whose END LOOP (its exit right before)
  // lies inside the body, of the same control block and not the body's
  // own, each of FROM, TO and STEP a variable packed field or constant of 9
  // bytes, no branch from before it going into it and none from inside it
  // going out: a loop the plan runs (kBeg, kEndIn). Neither instruction
  // changes a register of the interpreter; the state at the top of its
  // body takes a shadow for each register its END LOOP leaves other than
  // the BEG LOOP found it (found by a walk of its body alone), set on the
  // way in and on the way back. kBeg leaves before BEG LOOP when FROM, TO
  // or STEP is not an integer (the instruction's 16-byte path).
  Built inner_begin(uint8_t*& p, Abs& cur, uint16_t cost) {
    if (sub_ret || in_at >= 0 || no_inner || pl.inner.size() >= kMaxInner) return Built::Refused;
    const auto& in = rec::view<IbBegLoop>(p);
    uint8_t* after = ii_at(reinterpret_cast<const uint8_t*>(&in.exit));
    uint8_t* body = ii_adv(p, sizeof(IbBegLoop));
    uint8_t* iend = after - sizeof(IbEndLoop);
    if (iend < body || iend >= end) return Built::Refused;
    if (op_of(iend) != 13) return Built::Refused;  // (its first run relocates it: the code changes)
    const uint32_t blk = in.ira.get();
    if (rec::view<IbEndLoop>(iend).ira.get() != blk || rec::view<IbEndLoop>(end).ira.get() == blk) return Built::Refused;
    for (const Pending& pd : pending)
      if (pd.to > off(p) && pd.to < off(after)) return Built::Refused;
    if (cur.addr[0].kind != kField) return Built::Refused;
    int var = reg(cur.addr[0].v), ops[3];
    for (int k = 1; k < 4; ++k) {
      const Item it = cur.addr[k];
      if (!(cur.len[k] == Item{kValue, 9})) return Built::Refused;
      ops[k - 1] = it.kind == kField ? reg(it.v) : it.kind == kConst ? cnst(it.v) : -1;
      if (ops[k - 1] < 0) return Built::Refused;
    }
    if (var < 0) return Built::Refused;
    pl.regs[size_t(var)].stored = true;
    const Abs s0 = cur;
    Abs s1;
    {
      Plan tp;
      tp.sids = pl.sids;
      tp.occs = pl.occs;
      Builder sb(tp, iend, body);
      sb.fixed_stored = fixed_stored;
      sb.no_inner = true;
      Built r = sb.walk(s0, &s1);
      if (r != Built::Plan) return r;
    }
    Abs j = s0;
    for (int k = 0; k < 9; ++k)
      if (!(reg_item(s0, k) == reg_item(s1, k))) reg_item(j, k) = Item{kShadow, sid(off(body), k)};
    j.work = merge(s0.work, s1.work);
    InLoop il;
    il.beg = off(p);
    il.end = off(iend);
    il.body = off(body);
    il.var = var;
    pl.inner.push_back(il);
    Node& n = add(kBeg, cost);
    n.dat = uint8_t(pl.inner.size() - 1);
    n.exit = exit_at(p, s0);
    slots.push_back({ops[0], ops[1], ops[2]});
    const uint16_t node = uint16_t(pl.nodes.size() - 1);
    fixups.push_back({node, off(after)});
    pending.push_back({off(after), s0, node});
    edge(s0, j);
    in_at = int(pl.inner.size() - 1);
    in_top = j;
    cur = j;
    p = body;
    return Built::Plan;
  }
  // The edge node that brings state st into the join's state j, if any
  // register needs it (an edge into a loop's body top goes on there).
  void edge(const Abs& st, const Abs& j) {
    auto [first, n] = sets_for(st, j);
    if (n == 0) return;
    Node t{};
    t.kind = kEdge;
    t.as_first = first;
    t.as_n = n;
    pl.nodes.push_back(t);
    slots.push_back({0, 0, 0});
  }
  // The inner loop's END LOOP at p: what it leaves in each register must be
  // what the top of its body holds, or set into the shadow there (that
  // top's own shadows only) on the way back.
  bool inner_end(uint8_t*& p, Abs& cur, uint16_t cost) {
    const InLoop& il = pl.inner[size_t(in_at)];
    if (cur.addr[0].kind != kField) return false;
    int var = reg(cur.addr[0].v);
    if (var < 0) return false;
    for (int k = 0; k < 9; ++k) {
      const Item t = reg_item(in_top, k);
      const bool own = t.kind == kShadow && pl.sids[t.v] == std::pair<uint32_t, int>{il.body, k};
      if (!own && !(reg_item(cur, k) == t)) return false;
    }
    if (!(merge(in_top.work, cur.work) == in_top.work)) return false;
    edge(cur, in_top);
    pl.regs[size_t(var)].stored = true;
    Node& n = add(kEndIn, cost);
    n.dat = uint8_t(in_at);
    n.exit = exit_at(p, cur);  // before it: a step past 15 digits, a variable with decimals
    slots.push_back({var, var, var});
    fixups.push_back({uint16_t(pl.nodes.size() - 1), il.body});
    in_at = -1;
    p = ii_adv(p, sizeof(IbEndLoop));
    return true;
  }

  // An instruction the plan cannot read yet (its first run is to come):
  // the plan leaves before it, and the walk goes on at the next branch
  // target (branches only go forward, so the instructions between are
  // reached through it alone); false when none is left.
  // In a routine the plan leaves there too (inside the routine), and the
  // walk goes on at the routine's next branch target or back in the body;
  // the instruction's opcode is part of the code the plan rests on, so its
  // relocation builds the plan again.
  bool wait_here(uint8_t*& p, const Abs& cur, bool& live) {
    if (sub_ret) {
      Node& n = add(kExit, 0);
      slots.push_back({0, 0, 0});
      n.exit = exit_at(p, cur);
      sub_to = std::max(sub_to, off(p) + 4);
      live = false;
      return true;
    }
    uint32_t at = off(p), next = 0;
    for (auto& pd : pending)
      if (pd.to > at && pd.to <= last_target() && (next == 0 || pd.to < next)) next = pd.to;
    if (next == 0) return false;
    Node& n = add(kExit, 0);
    slots.push_back({0, 0, 0});
    n.exit = exit_at(p, cur);
    p = ii_arena + next;
    live = false;
    return true;
  }

  uint16_t sid(uint32_t at, int k) {
    for (size_t i = 0; i < pl.sids.size(); ++i)
      if (pl.sids[i] == std::pair<uint32_t, int>{at, k}) return uint16_t(i);
    pl.sids.push_back({at, k});
    return uint16_t(pl.sids.size() - 1);
  }
  static Item& reg_item(Abs& a, int k) { return k < 4 ? a.addr[k] : k < 8 ? a.len[k - 4] : a.depth; }
  static Item reg_item(const Abs& a, int k) { return k < 4 ? a.addr[k] : k < 8 ? a.len[k - 4] : a.depth; }
  // The assignments that bring edge state `st` into the join's state `j`.
  std::pair<uint16_t, uint16_t> sets_for(const Abs& st, const Abs& j) {
    uint16_t first = uint16_t(pl.sets.size());
    for (int k = 0; k < 9; ++k) {
      Item t = reg_item(j, k), f = reg_item(st, k);
      if (t.kind == kShadow && !(f == t)) pl.sets.push_back({uint16_t(t.v), uint8_t(k), f});
    }
    return {first, uint16_t(pl.sets.size() - first)};
  }
  // Where branches (and the instruction before, when it goes on) meet: the
  // state there. An address or length register the edges leave different
  // becomes a shadow each edge sets on its way in: the fall-through edge by
  // a node before the join, a branch through a node of its own.
  bool join(uint32_t at, Abs& cur, bool& live) {
    std::vector<Pending> in;
    for (size_t i = 0; i < pending.size();) {
      if (pending[i].to == at) {
        in.push_back(pending[i]);
        pending.erase(pending.begin() + long(i));
      } else {
        ++i;
      }
    }
    if (in.empty()) return true;
    if (live) in.push_back({at, cur, 0xFFFF});
    Abs j = in[0].st;
    for (size_t e = 1; e < in.size(); ++e) j = merge(j, in[e].st);
    for (int k = 0; k < 9; ++k) {
      bool same = true;
      for (const Pending& e : in) same &= reg_item(e.st, k) == reg_item(in[0].st, k);
      reg_item(j, k) = same ? reg_item(in[0].st, k) : Item{kShadow, sid(at, k)};
    }
    for (const Pending& e : in) {
      auto [first, n] = sets_for(e.st, j);
      if (n == 0) continue;
      Node t{};
      t.kind = kEdge;
      t.as_first = first;
      t.as_n = n;
      if (e.node == 0xFFFF) {
        pl.nodes.push_back(t);
        slots.push_back({0, 0, 0});
      } else {
        t.jump = 1;
        redirects.push_back({e.node, uint16_t(tramps.size())});
        tramps.push_back(t);
        tramp_to.push_back(at);
      }
    }
    cur = j;
    live = true;
    return true;
  }

  Built walk(const Abs& top, Abs* end_state) {
    Abs cur = top;
    bool live = true;
    uint16_t cost = 0;
    uint8_t* p = back;
    for (;;) {
      if (sub_ret) {
        // In a routine (after the body's END LOOP): past a RETURN or an
        // unconditional branch, the next branch target of the routine, or
        // back to the body once none is left.
        sub_to = std::max(sub_to, off(p));
        bool target = false;
        uint32_t next = 0;
        for (auto& pd : pending) {
          target |= pd.to == off(p);
          if (pd.to > off(end) && pd.to > off(p) && (next == 0 || pd.to < next)) next = pd.to;
        }
        if (!live && !target) {
          if (next) {
            p = ii_arena + next;
          } else {
            pl.subs.push_back({sub_from, sub_to});
            p = sub_ret;
            sub_ret = nullptr;
          }
          continue;
        }
        if (p <= end) return Built::Refused;
      } else if (p < back || p > end) {
        return Built::Refused;
      }
      uint32_t at = off(p);
      if (!join(at, cur, live)) return Built::Refused;
      if (!live) return Built::Refused;  // code only a label outside the body reaches
      labels.push_back({at, uint16_t(pl.nodes.size())});
      if (p == end) break;
      uint16_t op = op_of(p);
      // Kinds without operands to relocate keep their even opcode (the
      // interpreter runs them as they are: ii_set_pair), so an even one of
      // those is no instruction waiting for its first run.
      if (op == 8 || op == 278 || op == 466 || op == 468 || op == 510 || op == 700 ||
          (op % 2 == 0 && op < kIbOps && ib_op(op).nopnd == 0 && !ib_hook(op)))
        ++op;
      ++cost;
      switch (op) {
        case 53: case 55: case 57: case 59:
          cur.addr[(op - 53) / 2] = Item{kConst, u32_at(p + 4)};
          p = ii_adv(p, 8);
          continue;
        case 61: case 63: case 65: case 67:
          cur.addr[(op - 61) / 2] = Item{kField, u32_at(p + 4)};
          if (std::find(pl.words.begin(), pl.words.end(), u32_at(p + 4)) == pl.words.end())
            pl.words.push_back(u32_at(p + 4));
          p = ii_adv(p, 8);
          continue;
        case 77: case 79: {  // OCC_PD, OCC_BIN: a register IRA loaded with an array to an element
          auto& in = rec::view<IbOcc>(p);
          int k = in.reg - 1;
          if (k < 0 || k > 3 || in.elem_len.get() == 0 || cur.addr[k].kind != kField) return Built::Refused;
          uint32_t w = u32_at(p + 4);
          int ix = op == 77 ? reg(w) : reg(w, true), id = occ_of(off(p));
          if (ix < 0 || id < 0) return Built::Refused;
          if (std::find(pl.words.begin(), pl.words.end(), w) == pl.words.end()) pl.words.push_back(w);
          Occ& o = pl.occs[size_t(id)];
          o.word = cur.addr[k].v;
          o.elem_len = in.elem_len;
          Node& n = add(kOccAt, cost);
          cost = 0;
          n.dat = uint8_t(id);
          n.f = o.elem_len;
          n.exit = exit_at(p, cur);  // an occurrence out of its bounds
          slots.push_back({ix, ix, ix});
          cur.addr[k] = Item{kElem, uint32_t(id)};
          p = ii_adv(p, 16);
          continue;
        }
        case 9: {
          auto& in = rec::view<IbAddrLen>(p);
          int r = in.reg >= 1 && in.reg <= 4 ? in.reg - 1 : 3;
          cur.len[r] = Item{kValue, in.len};
          p = ii_adv(p, 6);
          continue;
        }
        case 467: case 469: p = ii_adv(p, 4); continue;
        case 3: {  // BEG LOOP of a packed loop inside the body
          Built r = inner_begin(p, cur, cost);
          if (r != Built::Plan) return r;
          cost = 0;
          continue;
        }
        case 13:  // its END LOOP
          if (in_at < 0 || off(p) != pl.inner[size_t(in_at)].end || !inner_end(p, cur, cost)) return Built::Refused;
          cost = 0;
          continue;
        case 701: {
          --cost;
          uint8_t* next = nullptr;
          IiPlanView v;
          if (ii_math_plan_view(p, &v) > 0) cost = uint16_t(cost + v.insts);
          Built r = calc(p, cur, cost, &next);
          if (r == Built::NotYet) {
            if (!wait_here(p, cur, live)) return r;
            cost = 0;
            continue;
          }
          if (r != Built::Plan) return r;
          cost = 0;
          if (next <= p) return Built::Refused;
          p = next;
          continue;
        }
        case 415: case 417:
          if (!set_bin(p, cur, op, cost)) return Built::Refused;
          cost = 0;
          continue;
        case 111: case 121:
          if (!move_fix(p, cur, op, cost)) return Built::Refused;
          cost = 0;
          continue;
        case 711:
          if (!compute(p, cur, cost)) return Built::Refused;
          cost = 0;
          continue;
        case 279: case 273: case 277: case 423: {
          // Each operand 8-byte variable packed, or fixed packed of 1-8
          // bytes at a scale of 0-31.
          int len[2], fsc[2] = {0, 0};
          if (op == 279) {
            len[0] = rec::view<IbXpndVarVar>(p).len1;
            len[1] = rec::view<IbXpndVarVar>(p).len2;
          } else if (op == 423) {
            auto& in = rec::view<IbXpndFixFix>(p);
            len[0] = -int(in.len1);
            len[1] = -int(in.len2);
            fsc[0] = in.scale1;
            fsc[1] = in.scale2;
          } else {
            auto& in = rec::view<IbXpndMixed>(p);
            int v = op == 277 ? 0 : 1;
            len[v] = in.var_len;
            len[1 - v] = -int(in.fix_len);
            fsc[1 - v] = in.fix_scale;
          }
          uint8_t* q = ii_adv(p, op == 279 ? 8 : 10);
          if ((!sub_ret && q >= end) || (op_of(q) | 1) != 511) return Built::Refused;
          if (pl.ncmp >= kMaxCmps) return Built::Refused;
          int slot[2];
          for (int k = 0; k < 2; ++k) {
            Item it = cur.addr[k];
            if (len[k] == 8) {
              slot[k] = it.kind == kField ? reg(it.v) : it.kind == kConst ? cnst(it.v) : -1;
            } else if (len[k] < 0 && len[k] >= -8 && fsc[k] <= 31) {
              slot[k] = it.kind == kField ? fixed(it.v, -len[k], fsc[k]) : it.kind == kConst ? cnst(it.v, -len[k], fsc[k]) : -1;
            } else {
              return Built::Refused;
            }
            if (slot[k] < 0) return Built::Refused;
          }
          auto& f = rec::view<IbIf2>(q);
          Node& n = add(kCmp, uint16_t(cost + 1));
          cost = 0;
          n.cmp = uint8_t(pl.ncmp++);
          n.exit = exit_at(p, cur);  // operands at two scales too far apart
          truth_masks(n, f.shift, f.rel);
          slots.push_back({slot[0], slot[1], slot[0]});
          cur.addr[0] = Item{kWork, 0};
          cur.addr[1] = Item{kWork, 1};
          cur.len[0] = cur.len[1] = Item{kValue, 16};
          cur.work = Item{kValue, n.cmp};
          p = ii_adv(q, 16);
          continue;
        }
        case 509: {  // IF_BIN: two binary operands at their scales, no work values
          auto& f = rec::view<IbIfBin>(p);
          int code = f.code;
          if (code < 1 || code > 36) return Built::Refused;
          int c[2] = {(code - 1) / 6 + 1, (code - 1) % 6 + 1}, fsc[2] = {f.scale1, f.scale2};
          int slot[2];
          for (int k = 0; k < 2; ++k) {
            int kind = c[k] >= 4 ? c[k] - 3 : c[k];  // 1 four bytes, 2 two, 3 one
            int len = kind == 1 ? 4 : kind == 2 ? 2 : 1;
            Item it = cur.addr[k];
            if (fsc[k] > 31 || (it.kind != kField && it.kind != kConst && it.kind != kElem)) return Built::Refused;
            if (it.kind == kElem) {  // an element: read as the body runs, into a temporary
              slot[k] = temp();
              Node& l = add(kLdBin, 0);
              l.dat = uint8_t(it.v);
              l.lz = uint8_t(c[k]);
              l.kd = int8_t(fsc[k]);
              slots.push_back({slot[k], slot[k], slot[k]});
              touch(it, uint32_t(len), 0);
              continue;
            }
            // (A signed word at scale 0, a CALC integer, is the field's register.)
            slot[k] = it.kind == kField && c[k] == 4 && fsc[k] == 0 ? reg(it.v, true)
                                                                   : fixed(it.v, len, fsc[k], uint8_t(c[k]), it.kind == kConst);
            if (slot[k] < 0) return Built::Refused;
          }
          Node& n = add(kCmp, cost);
          cost = 0;
          n.cmp = kNoWork;
          n.exit = exit_at(p, cur);  // scales too far apart
          truth_masks(n, f.shift, f.rel);
          slots.push_back({slot[0], slot[1], slot[0]});
          p = ii_adv(p, 16);
          continue;
        }
        case 517: {  // IF_DAT: two dates, a field or a constant each
          auto& f = rec::view<IbIfDat>(p);
          if (pl.dates.size() >= kMaxDates) return Built::Refused;
          DateCmp dc{off(p), {cur.addr[0], cur.addr[1]}, {f.d1.len, f.d2.len}};
          for (const Item& it : dc.op)
            if (it.kind != kField && it.kind != kConst) return Built::Refused;
          Node& n = add(kCmpDat, cost);
          cost = 0;
          n.cmp = kNoWork;
          n.dat = uint8_t(pl.dates.size());
          n.exit = exit_at(p, cur);  // a date that does not convert
          truth_masks(n, f.shift, f.rel);
          slots.push_back({0, 0, 0});
          pl.dates.push_back(dc);
          p = ii_adv(p, sizeof(IbIfDat) + f.masks_len.get());
          continue;
        }
        case 505: {  // IF_STR_EQ [IF_STR_REST]: two texts, a field or a constant each
          auto& f = rec::view<IbIfCmp>(p);
          if (pl.texts.size() >= kMaxTexts) return Built::Refused;
          TextCmp tc{{cur.addr[0], cur.addr[1]}, f.len};
          for (const Item& it : tc.op)
            if (it.kind != kField && it.kind != kConst && it.kind != kElem) return Built::Refused;
          uint8_t* q = ii_adv(p, 12);
          if ((sub_ret || q < end) && (op_of(q) | 1) == 507) {
            // (Its level and relation are IF_STR_EQ's: its mask is the one left.)
            auto& r = rec::view<IbIfRest>(q);
            if (r.shift.get() != f.shift.get() || r.rel != f.rel || (r.longer != 1 && r.longer != 2))
              return Built::Refused;
            tc.diff = r.diff;
            tc.shorter = r.shorter;
            tc.longer = r.longer;
            q = ii_adv(q, 16);
            ++cost;
          }
          for (int j = 0; j < 2; ++j) touch(tc.op[j], uint32_t(tc.extent(j)), 0);
          Node& n = add(kCmpTxt, cost);
          cost = 0;
          n.cmp = kNoWork;
          n.dat = uint8_t(pl.texts.size());
          truth_masks(n, f.shift, f.rel);
          slots.push_back({0, 0, 0});
          pl.texts.push_back(tc);
          p = q;
          continue;
        }
        case kOpDateAddDd + 1: {  // DATE ADD of days to a text date
          auto& in = rec::view<IbDateAdd>(p);
          if (!ii_date_add_text_days(p) || pl.dadds.size() >= kMaxMovs) return Built::Refused;
          uint16_t n = in.num_len;
          DateAdd da{off(p), {cur.addr[0], cur.addr[1]}, uint16_t(in.num_type == 5 && n != 1 && n != 2 ? 4 : n)};
          if (da.op[0].kind != kField || (da.op[1].kind != kField && da.op[1].kind != kConst)) return Built::Refused;
          Node& nd = add(kDateAdd, cost);
          cost = 0;
          nd.dat = uint8_t(pl.dadds.size());
          nd.exit = exit_at(p, cur);  // a date or count that does not read, a result outside the calendar
          slots.push_back({0, 0, 0});
          pl.dadds.push_back(da);
          p = ii_adv(p, in.len);
          continue;
        }
        case 115: case 117: {  // MOVE_CHAR, MOVE_CHAR_PAD: into a text field
          auto& in = rec::view<IbLen2>(p);
          if (pl.movs.size() >= kMaxMovs) return Built::Refused;
          TextMov mv{{cur.addr[0], cur.addr[1]}, in.a, uint16_t(op == 117 ? in.b.get() : 0)};
          if ((mv.op[0].kind != kField && mv.op[0].kind != kElem) ||
              (mv.op[1].kind != kField && mv.op[1].kind != kConst && mv.op[1].kind != kElem))
            return Built::Refused;
          touch(mv.op[0], 0, uint32_t(mv.written()));
          touch(mv.op[1], mv.len, 0);
          Node& n = add(kMovTxt, cost);
          cost = 0;
          n.dat = uint8_t(pl.movs.size());
          slots.push_back({0, 0, 0});
          pl.movs.push_back(mv);
          p = ii_adv(p, op == 115 ? 6 : 8);
          continue;
        }
        case 81: case 83: {
          uint8_t* to = ii_at(p + 4);
          if (to <= p || (!sub_ret && off(to) > last_target())) return Built::Refused;
          Node& n = add(op == 81 ? kTfc : kJmp, cost);
          cost = 0;
          if (op == 81) n.keep = rec::view<IbTfc>(p).cond;
          slots.push_back({0, 0, 0});
          fixups.push_back({uint16_t(pl.nodes.size() - 1), off(to)});
          pending.push_back({off(to), cur, uint16_t(pl.nodes.size() - 1)});
          if (op == 83) live = false;
          p = ii_adv(p, op == 81 ? 12 : 8);
          continue;
        }
        case 19: {  // GOSUB: its routine (after the body) walked in place
          uint8_t* label = ii_at(p + 4);
          uint8_t* ret = ii_at(p + 8);
          if (sub_ret || ret != ii_adv(p, 12) || label <= end) return Built::Refused;
          for (auto& sb : pl.subs)
            if (sb.first == off(label)) return Built::Refused;  // (one call of a routine a body)
          Node& n = add(kCall, cost);
          cost = 0;
          n.exit = exit_at(p, cur);  // the interpreter's to refuse past kIiGosubDepth
          slots.push_back({0, 0, 0});
          sub_ret = ret;
          sub_from = sub_to = off(label);
          p = label;
          continue;
        }
        case 31: {  // RETURN: the caller's mask, and on after its GOSUB
          if (!sub_ret) return Built::Refused;
          add(kRet, cost);
          cost = 0;
          slots.push_back({0, 0, 0});
          fixups.push_back({uint16_t(pl.nodes.size() - 1), off(sub_ret)});
          pending.push_back({off(sub_ret), cur, uint16_t(pl.nodes.size() - 1)});
          live = false;
          p = ii_adv(p, 4);
          continue;
        }
        case 501: {  // CHK_TF: AND and OR look at their level first
          auto& in = rec::view<IbChkTf>(p);
          uint8_t* to = ii_at(p + 4);
          if (to <= p || (!sub_ret && off(to) > last_target())) return Built::Refused;
          uint32_t shift = in.shift;
          if (shift >= 2 && shift <= 10) {
            Node& n = add(kChk, cost);
            cost = 0;
            n.keep = shift;
            n.cond = in.is_or ? 1 : 0;
            // An AND whose level is unset is the instructions' (a run-time error).
            if (!in.is_or) n.exit = exit_at(p, cur);
            slots.push_back({0, 0, 0});
            fixups.push_back({uint16_t(pl.nodes.size() - 1), off(to)});
            pending.push_back({off(to), cur, uint16_t(pl.nodes.size() - 1)});
          }
          p = ii_adv(p, 16);
          continue;
        }
        default:
          // An instruction not relocated yet may be one a plan takes once it ran.
          if (op % 2 != 0 || op >= 781) return Built::Refused;
          if (!wait_here(p, cur, live)) return Built::NotYet;
          cost = 0;
          continue;
      }
    }
    if (!pending.empty() || in_at >= 0 || op_of(end) != 13) return Built::Refused;
    if (cur.addr[0].kind != kField) return Built::Refused;
    int var = reg(cur.addr[0].v);
    if (var < 0) return Built::Refused;
    pl.regs[size_t(var)].stored = true;
    Node& n = add(kEnd, uint16_t(cost + 1));
    slots.push_back({var, var, var});
    n.exit = exit_at(end, cur);
    n.to = exit_at(ii_adv(end, 8), cur);
    n.top = exit_at(back, cur);
    *end_state = cur;
    return Built::Plan;
  }

  // Numbers the slots (registers, constants, temporaries) and the branches.
  // Shadows that no exit reads (the register is set again first on every
  // way out) are not kept: their assignments go, and the edge nodes left
  // without any with them.
  void prune_shadows() {
    std::vector<bool> used(pl.sids.size(), false);
    for (const Exit& e : pl.exits)
      for (int k = 0; k < 9; ++k)
        if (reg_item(e.st, k).kind == kShadow) used[reg_item(e.st, k).v] = true;
    auto each_set = [&](auto fn) {
      for (Node& n : pl.nodes)
        if (n.kind == kEdge) fn(n);
      for (Node& n : tramps) fn(n);
    };
    for (bool more = true; more;) {
      more = false;
      each_set([&](Node& n) {
        for (uint16_t a = n.as_first; a < n.as_first + n.as_n; ++a) {
          const ShadowSet& x = pl.sets[a];
          if (used[x.sid] && x.it.kind == kShadow && !used[x.it.v]) more = used[x.it.v] = true;
        }
      });
    }
    std::vector<ShadowSet> kept;
    each_set([&](Node& n) {
      uint16_t first = uint16_t(kept.size());
      for (uint16_t a = n.as_first; a < n.as_first + n.as_n; ++a)
        if (used[pl.sets[a].sid]) kept.push_back(pl.sets[a]);
      n.as_first = first;
      n.as_n = uint16_t(kept.size() - first);
    });
    pl.sets = std::move(kept);
    // The branches' edge nodes left empty: the branch goes to its join.
    std::vector<int> tmap(tramps.size(), -1);
    std::vector<Node> tk;
    std::vector<uint32_t> tk_to;
    for (size_t t = 0; t < tramps.size(); ++t)
      if (tramps[t].as_n) {
        tmap[t] = int(tk.size());
        tk.push_back(tramps[t]);
        tk_to.push_back(tramp_to[t]);
      }
    tramps = std::move(tk);
    tramp_to = std::move(tk_to);
    std::vector<std::pair<uint16_t, uint16_t>> rd;
    for (auto& [node, t] : redirects)
      if (tmap[t] >= 0) rd.push_back({node, uint16_t(tmap[t])});
    // The fall-through edge nodes left empty: every index after them moves.
    std::vector<uint16_t> map(pl.nodes.size() + 1);
    std::vector<Node> nodes;
    std::vector<std::array<int, 3>> sl;
    for (size_t i = 0; i < pl.nodes.size(); ++i) {
      map[i] = uint16_t(nodes.size());
      if (pl.nodes[i].kind == kEdge && pl.nodes[i].as_n == 0) continue;
      nodes.push_back(pl.nodes[i]);
      sl.push_back(slots[i]);
    }
    map[pl.nodes.size()] = uint16_t(nodes.size());
    pl.nodes = std::move(nodes);
    slots = std::move(sl);
    for (auto& l : labels) l.second = map[l.second];
    for (auto& f : fixups) f.first = map[f.first];
    for (auto& r : rd) r.first = map[r.first];
    redirects = std::move(rd);
  }

  // A division by a constant of 2s and 5s (2, 4, 5, 8, 20, 25, 125 ...)
  // multiplies by its factor, known now. A product or such a quotient that
  // an add or a subtract alone reads keeps its trailing zero decimals: where
  // its scale is not above the other operand's, the sum is the same at the
  // same scale with or without them, so only the add that finds it above
  // drops them. When that add follows at once, the two are one node.
  void arithmetic(int nr, int nc, int nf, const std::vector<bool>& target) {
    int temps_from = nr + nc + nf;
    for (size_t i = 0; i < pl.nodes.size(); ++i) {
      Node& n = pl.nodes[i];
      if (n.kind == kDiv && n.b >= nr && n.b < nr + nc) {
        const Cnst& c = pl.cnsts[size_t(n.b - nr)];
        uint64_t bm = c.v < 0 ? uint64_t(0) - uint64_t(c.v) : uint64_t(c.v);
        IiDivisor d;
        if (bm != 0 && bm < (uint64_t(1) << 53) && c.sc <= 15) d = ii_divisor_of(bm);
        if (d.k >= 0) {
          n.kind = kDivK;
          n.f = d.f;
          n.kd = int8_t(d.k - c.sc);
          n.neg = c.v < 0;
        }
      }
      if ((n.kind != kMul && n.kind != kDivK) || n.d < temps_from) continue;
      for (size_t j = i + 1; j < pl.nodes.size(); ++j) {
        Node& u = pl.nodes[j];
        // (Of two such operands of one add, the second drops its zeros at once.)
        if ((u.kind != kAdd && u.kind != kSub) || (u.a == n.d) == (u.b == n.d)) continue;
        n.lazy = 1;
        u.lz = u.a == n.d ? 1 : 2;
        u.kind = u.kind == kAdd ? kAddZ : kSubZ;
        if (j == i + 1 && !target[j]) n.kind = n.kind == kMul ? kMulAdd : kDivAdd;
        break;
      }
    }
  }

  // The steps of an iteration at most: the nodes of its longest path from
  // the top of the body to END LOOP or an exit (an inner loop's body
  // counted once: its END LOOP counts the steps of each iteration more).
  // Branches lead forward, and the edge nodes after the body's back to their
  // join, past the branch: no cycle (were there one, every node would
  // count). From node `from` to node `stop` (an inner loop's body).
  uint32_t longest_path(size_t from = 0, size_t stop = SIZE_MAX) const {
    constexpr int kNone = -1, kOnPath = -2, kCycle = 1 << 20;
    std::vector<int> len(pl.nodes.size(), kNone);
    auto walk = [&](auto& self, size_t i) -> int {
      if (i >= len.size() || len[i] == kOnPath) return kCycle;
      if (len[i] != kNone) return len[i];
      len[i] = kOnPath;
      const Node& n = pl.nodes[i];
      int after;
      if (i == stop) return len[i] = 1;
      switch (n.kind) {
        case kEnd: case kExit: after = 0; break;
        case kBeg: after = std::max(self(self, i + 1), self(self, n.to)); break;
        case kJmp: case kRet: after = self(self, n.to); break;
        case kEdge: after = self(self, n.jump ? n.to : i + 1); break;
        case kTfc: case kChk: after = std::max(self(self, i + 1), self(self, n.to)); break;
        case kCmpTfc: after = std::max(self(self, i + 2), self(self, n.to)); break;
        case kMulAdd: case kDivAdd: after = self(self, i + 2); break;
        default: after = self(self, i + 1); break;
      }
      return len[i] = std::min(after, kCycle) + 1;
    };
    return uint32_t(std::min<int64_t>(walk(walk, from), int64_t(pl.nodes.size())));
  }

  bool finish() {
    prune_shadows();
    int nr = int(pl.regs.size()), nc = int(pl.cnsts.size()), nf = int(pl.fixes.size());
    if (nr + nc + nf + temps > kMaxSlots || pl.sids.size() > size_t(kMaxShadows)) return false;
    pl.nslots = uint8_t(nr + nc + nf + temps);
    auto num = [&](int x) {
      return x >= 3000 ? nr + nc + (x - 3000) : x >= 2000 ? nr + nc + nf + (x - 2000) : x >= 1000 ? nr + (x - 1000) : x;
    };
    for (size_t i = 0; i < pl.nodes.size(); ++i) {
      Node& n = pl.nodes[i];
      n.a = uint8_t(num(slots[i][0]));
      n.b = uint8_t(num(slots[i][1]));
      n.d = uint8_t(num(slots[i][2]));
    }
    for (InLoop& il : pl.inner) il.var = num(il.var);
    auto label = [&](uint32_t to) -> int {
      auto it = std::find_if(labels.begin(), labels.end(), [&](auto& l) { return l.first == to; });
      return it == labels.end() ? -1 : int(it->second);
    };
    for (auto& [node, to] : fixups) {
      int l = label(to);
      if (l < 0) return false;
      pl.nodes[node].to = uint16_t(l);
    }
    // The branches' edge nodes after the body's: each goes on at its join.
    uint16_t body_nodes = uint16_t(pl.nodes.size());
    for (size_t t = 0; t < tramps.size(); ++t) {
      int l = label(tramp_to[t]);
      if (l < 0) return false;
      tramps[t].to = uint16_t(l);
      pl.nodes.push_back(tramps[t]);
    }
    for (auto& [node, t] : redirects) pl.nodes[node].to = uint16_t(body_nodes + t);
    for (const Exit& e : pl.exits)
      if (!e.st.known()) return false;
    // A compare whose IF a TFC follows, and no branch goes to the TFC:
    // one node.
    std::vector<bool> target(pl.nodes.size() + 1, false);
    for (const Node& n : pl.nodes)
      if (n.kind == kTfc || n.kind == kChk || n.kind == kJmp || n.kind == kRet || (n.kind == kEdge && n.jump) ||
          n.kind == kBeg || n.kind == kEndIn)
        target[n.to] = true;
    arithmetic(nr, nc, nf, target);
    for (Node& n : pl.nodes)
      if (n.kind == kCmp) {
        n.kc = n.a >= nr && n.a < nr + nc ? 1 : n.b >= nr && n.b < nr + nc ? 2 : 0;
        n.csc = -1;
      }
    for (size_t i = 0; i + 1 < pl.nodes.size(); ++i) {
      Node& n = pl.nodes[i];
      const Node& t = pl.nodes[i + 1];
      if (n.kind == kCmp && t.kind == kTfc && !target[i + 1]) {
        n.kind = kCmpTfc;
        n.cond = t.keep;
        n.to = t.to;
      }
    }
    pl.per_iter = longest_path();
    for (size_t i = 0; i < pl.nodes.size(); ++i)
      if (pl.nodes[i].kind == kEndIn) pl.nodes[i].f = longest_path(pl.nodes[i].to, i);
    return true;
  }
};

// The code the plan rests on: the body and the GOSUB routines as bytes,
// END LOOP but for its byte 3 as a word, the constants as their bytes
// (Cnst::bytes) and the sign nibbles that gave their values (the same bytes
// are another value under other ones). Byte 3 of an inner loop's BEG LOOP
// and END LOOP, which count entries to skip as the outer END LOOP's does,
// is left out.
constexpr uint64_t kNotByte3 = std::endian::native == std::endian::little ? 0xFFFFFFFF00FFFFFFull : 0xFFFFFF00FFFFFFFFull;
void copy_code(Plan& pl) {
  pl.spans.clear();
  uint32_t from = pl.back;
  for (const InLoop& il : pl.inner)
    for (uint32_t at : {il.beg, il.end}) {
      pl.spans.push_back({from, at + offsetof(IbInst, zero)});
      from = at + offsetof(IbInst, zero) + 1;
    }
  pl.spans.push_back({from, pl.end_pc});
  pl.spans.insert(pl.spans.end(), pl.subs.begin(), pl.subs.end());
  pl.code.clear();
  for (auto [from, to] : pl.spans) pl.code.insert(pl.code.end(), ii_arena + from, ii_arena + to);
  pl.end_word = u64_at(ii_arena + pl.end_pc) & kNotByte3;
  pl.pair = ii_vc_pair();
}
// The order of the n bytes at a and b as memcmp gives it (-1, 0, 1), a word
// at a time: a text compare the body makes each time is short, and a call
// costs more than it.
inline int order(const uint8_t* a, const uint8_t* b, size_t n) {
  auto first_differs = [](uint64_t x, uint64_t y) {
    if constexpr (std::endian::native == std::endian::little) {
      x = __builtin_bswap64(x);
      y = __builtin_bswap64(y);
    }
    return x < y ? -1 : 1;
  };
  if (n < 8) {
    for (size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
  }
  for (size_t i = 0; i + 8 < n; i += 8)
    if (u64_at(a + i) != u64_at(b + i)) return first_differs(u64_at(a + i), u64_at(b + i));
  // (The last word, over the one before when n is no multiple of 8: those bytes are equal.)
  uint64_t x = u64_at(a + n - 8), y = u64_at(b + n - 8);
  return x == y ? 0 : first_differs(x, y);
}
// Whether the n bytes (1-16) at a and b are the same, in two loads a side.
inline bool same_short(const uint8_t* a, const uint8_t* b, size_t n) {
  if (n >= 8) return ((u64_at(a) ^ u64_at(b)) | (u64_at(a + n - 8) ^ u64_at(b + n - 8))) == 0;
  uint32_t d = 0;
  if (n >= 4) {
    d = (u32_at(a) ^ u32_at(b)) | (u32_at(a + n - 4) ^ u32_at(b + n - 4));
  } else {
    for (size_t i = 0; i < n; ++i) d |= uint32_t(a[i] ^ b[i]);
  }
  return d == 0;
}
// Whether the n bytes (1-16) at a and b differ: nonzero when they do.
inline uint64_t differ_short(const uint8_t* a, const uint8_t* b, size_t n) {
  if (n >= 8) return (u64_at(a) ^ u64_at(b)) | (u64_at(a + n - 8) ^ u64_at(b + n - 8));
  return same_short(a, b, n) ? 0 : 1;
}
bool same_code(const Plan& pl) {
  uint8_t* const arena = ii_arena;
  uint64_t d = ((u64_at(arena + pl.end_pc) & kNotByte3) ^ pl.end_word) | (pl.pair ^ ii_vc_pair());
  for (const Cnst& k : pl.cnsts) d |= differ_short(k.bytes, arena + k.at, k.len);
  if (d != 0) return false;
  const uint8_t* c = pl.code.data();
  for (auto [from, to] : pl.spans) {
    size_t n = to - from;
    if (n <= 16 ? !same_short(c, arena + from, n) : std::memcmp(c, arena + from, n) != 0) return false;
    c += n;
  }
  return true;
}

// The registers the state at the top says anything of (a shadow takes
// the register's value on entry, anything else but the entry's must be
// what the register holds), and those each exit writes: an address
// register not left as on entry, a length or the depth that is a value.
void list_states(Plan& pl) {
  auto list = [&](const Abs& st) {
    for (int k = 0; k < 9; ++k) {
      const Item& it = k < 4 ? st.addr[k] : k < 8 ? st.len[k - 4] : st.depth;
      if (k < 4 ? it.kind != kEntry : it.kind == kValue || it.kind == kShadow) pl.writes.push_back({uint8_t(k), it});
    }
  };
  list(pl.top);
  pl.tops.swap(pl.writes);
  for (Exit& e : pl.exits) {
    e.first = uint16_t(pl.writes.size());
    list(e.st);
    e.n = uint16_t(pl.writes.size() - e.first);
  }
}

// An entry at BEG LOOP finds the registers as the instructions before the
// loop left them, not as the body's end leaves them (Plan::top). The first
// walk went from those (every register kEntry) and took every register an
// instruction reads from one set on the way since the top (it refuses an
// entry item): the nodes of the second walk, made from Plan::top, read
// nothing that the top decides. What the top decides is what an exit
// writes of a register:
//   1. set on every way to the exit to one item: the first walk's exit
//      holds it, and the second's the same;
//   2. set on no way there (the first walk's exit holds kEntry): the
//      instructions leave it as the entry found it, which the second walk's
//      item at the top stands for (Exit::keep: an exit of the first
//      iteration leaves it as it is);
//   3. set on some ways only (a shadow, or unknown): the register must hold
//      what the top says (Plan::live_top).
// Every register is set on every way to END LOOP or as at the top there
// (Plan::top is the first walk's end): from the second iteration on, the
// registers hold what the body's end leaves, as after an entry at END LOOP.
// The entry is made when the two walks left the same exits, in order.
void first_entry(Plan& pl, const std::vector<Exit>& trial) {
  pl.firsts = trial.size() == pl.exits.size();
  uint16_t live = 0;
  for (size_t i = 0; pl.firsts && i < trial.size(); ++i) {
    pl.firsts = trial[i].pc == pl.exits[i].pc && trial[i].call_ret == pl.exits[i].call_ret;
    uint16_t keep = 0;
    for (int k = 0; k < 9; ++k) {
      uint8_t kind = Builder::reg_item(trial[i].st, k).kind;
      if (kind == kEntry) keep |= uint16_t(1u << k);
      else if (kind == kShadow || kind == kUnknown) live |= uint16_t(1u << k);
    }
    pl.exits[i].keep = keep;
  }
  pl.live_top = live;
}

// What an entry reads, laid out once: the area words no register or fixed
// field reads (those are checked as they are read), the registers of the
// state at the top that an entry at BEG LOOP looks at (a shadow, an
// element, one of live_top: see run), the stored registers by kind.
void prepare_entry(Plan& pl) {
  pl.nregs = uint8_t(pl.regs.size());  // (kMaxSlots in all at most)
  pl.ncnsts = uint8_t(pl.cnsts.size());
  pl.nfixes = uint8_t(pl.fixes.size());
  pl.extras = !pl.occs.empty() || !pl.movs.empty() || !pl.dadds.empty() || !pl.dates.empty() || !pl.texts.empty();
  pl.words_more.clear();
  for (uint32_t w : pl.words) {
    bool read = std::any_of(pl.regs.begin(), pl.regs.end(), [&](const Reg& g) { return g.word == w; }) ||
                std::any_of(pl.fixes.begin(), pl.fixes.end(), [&](const Fixed& f) { return !f.direct && f.word == w; });
    if (!read) pl.words_more.push_back(w);
  }
  pl.entry_regs = std::any_of(pl.sets.begin(), pl.sets.end(), [](const ShadowSet& a) { return a.it.kind == kEntry; });
  pl.tops_first.clear();
  for (const RegItem& t : pl.tops)
    if (t.it.kind == kShadow || t.it.kind == kElem || (pl.live_top >> t.k & 1)) pl.tops_first.push_back(t);
  for (Reg& g : pl.regs) g.other = g.bin || g.flen;
  pl.stored_vp.clear();
  pl.stored_other.clear();
  for (uint8_t i : pl.stored) (pl.regs[i].bin || pl.regs[i].flen ? pl.stored_other : pl.stored_vp).push_back(i);
  pl.written.assign(pl.regs.size() + 2, Plan::Written{});
}

Built build(uint8_t* end, uint8_t* back, Plan* out) {
  Plan pl;
  pl.end_pc = off(end);
  pl.back = off(back);
  if (back >= end || end - back > 4 * kIbBlockSize) return Built::Refused;
  Abs first;
  std::vector<uint32_t> stored;
  std::vector<Exit> trial_exits;  // the exits of the walk from the entry's registers
  {
    Plan trial;
    Builder b(trial, end, back);
    Built r = b.walk(Abs{}, &first);
    if (r != Built::Plan) return r;
    pl.sids = trial.sids;  // (the state at the top names the trial's shadows and occurrences)
    pl.occs = trial.occs;
    for (const Reg& g : trial.regs)
      if (g.flen && g.stored) stored.push_back(g.word);
    trial_exits = std::move(trial.exits);
  }
  Builder b(pl, end, back);
  b.fixed_stored = std::move(stored);
  Abs last;
  Built r = b.walk(first, &last);
  if (r != Built::Plan) return r;
  if (!(last == first) || !b.finish()) return Built::Refused;
  pl.top = first;
  first_entry(pl, trial_exits);
  list_states(pl);
  for (size_t i = 0; i < pl.regs.size(); ++i)
    if (pl.regs[i].stored) pl.stored.push_back(uint8_t(i));
  pl.seen.assign(pl.regs.size() + pl.fixes.size() + 1 + pl.inner.size(), 0);
  prepare_entry(pl);
  copy_code(pl);
  *out = std::move(pl);
  return Built::Plan;
}

// ------------------------------------------------------------ running --
uint8_t* addr_of(const Item& it, IlfState* s) {
  switch (it.kind) {
    case kField: return ii_ref(ii_arena + it.v);
    case kConst: return ii_arena + it.v;
    default: return s->work[it.v & 3];
  }
}

struct Run {
  const Plan& pl;
  IlfState* s;
  uint8_t* regs[kMaxSlots];
  uint32_t place[kMaxSlots];  // the registers' arena offsets
  int64_t v[kMaxSlots];
  int sc[kMaxSlots];
  int64_t wk[2];             // the last compare's two values at their common scale
  // 1: the work values are the last packed compare's (wk); 2: a COMPUTE
  // into a binary register set work value 1's first byte since it and
  // since the last text compare (its sign, '1'); 0: neither ran.
  uint8_t have_wk;
  uint32_t mask;             // (kept in run's own variable while the nodes run)
  uint8_t* e_addr[4];        // the registers on entry
  uint16_t e_len[4];
  uint32_t e_depth;
  uintptr_t shadow[kMaxShadows];
  // What each of the first kMaxFixedSets edge assignments that copies no
  // shadow gives: an address or value that stays while the plan runs (the
  // area words the body reads are checked on entry and change only at a
  // yield, after which they are read again).
  uintptr_t fixed_set[kMaxFixedSets];
  // Where each of them, or one that copies a shadow, takes its value from.
  const uintptr_t* src[kMaxFixedSets];
  void fix_sets() {
    size_t n = std::min(pl.sets.size(), size_t(kMaxFixedSets));
    for (size_t i = 0; i < n; ++i) {
      const Item& it = pl.sets[i].it;
      if (stays(it)) fixed_set[i] = value(it, pl.sets[i].k);
      src[i] = stays(it) ? &fixed_set[i] : it.kind == kShadow ? &shadow[it.v] : nullptr;
    }
  }
  uint32_t caller_mask;      // inside a GOSUB's routine: the mask its RETURN restores
  int dc[kMaxDates];         // each IF_DAT's comparison (kIiBadDate: the instruction's to fail)
  int tc[kMaxTexts];         // each text compare's comparison, its rest's when equal so far
  int tw[kMaxTexts];         //   and IF_STR_EQ's alone, which it leaves in work value 1
  uint8_t* tat[kMaxTexts][2];  // its operands, when a move may change them (compared each time)
  bool tlive[kMaxTexts];
  uint8_t* mat[kMaxMovs][2];   // each text move's target and source (fields, constants)
  uint8_t* const* mref[kMaxMovs][2];  //   where it finds them: mat, or an element's occ_at
  uint8_t* const* tref[kMaxTexts][2];  // where a text compare finds its operands: tat, or occ_at
  uint8_t* occ_at[kMaxOccs];     // each occurrence's element (where it left its register)
  uint8_t* occ_base[kMaxOccs];   //   its array's element 1
  uint32_t occ_last[kMaxOccs];   //   and the last element it accepts
  uint8_t* dat_at[kMaxMovs][2];  // each DATE ADD's date and count
  uint8_t* dt_at[kMaxDates][2];  // each IF_DAT's dates, when a write may change them (compared each time)
  bool dlive[kMaxDates];
  // Each inner loop's control block, and its TO, STEP and direction as its
  // last kBeg found them; bit i of began: inner loop i began (the
  // interpreter's list of loops learns it at each write back).
  uint8_t* iblk[kMaxInner];
  int64_t ito[kMaxInner], istep[kMaxInner];
  int idir[kMaxInner];
  uint8_t began;
  uint8_t active;  // bit i: inner loop i goes on into its body (its block's back word set)
  // The steps towards the yield: those left when the plan started or last
  // yielded, and the inner loops' iterations after their first since then.
  int64_t room, extra;
  // Text compare k of the texts at a and b: into tc and tw.
  [[gnu::always_inline]] void text_cmp(size_t k, const uint8_t* a, const uint8_t* b) {
    const TextCmp& t = pl.texts[k];
    int c = tw[k] = order(a, b, t.len);
    if (c == 0 && t.diff) c = (t.longer == 1 ? 1 : -1) * ii_rest_vs_blanks((t.longer == 1 ? a : b) + t.shorter, t.diff);
    tc[k] = c;
  }
  int last_txt = -1;         // the text compare that ran after the last packed one, if any

  // Registers, constants and fixed fields are read on entry, every other
  // slot (a statement's temporary) is written by its node before it is
  // read, each shadow on every edge into its join (one at the top on
  // entry), each date compared on entry: nothing is cleared (an entry costs
  // a short loop more than its body's iteration otherwise).
  Run(const Plan& p, IlfState* st)
      : pl(p), s(st), wk{}, have_wk(0), mask(st->mask), e_depth(st->calc_count), caller_mask(0), began(0), active(0), room(0), extra(0) {}

  // What register k (0-3 address, 4-7 length, 8 depth) holds in state item `it`.
  uintptr_t value(const Item& it, int k) {
    switch (it.kind) {
      case kEntry: return k < 4 ? uintptr_t(e_addr[k]) : k < 8 ? e_len[k - 4] : e_depth;
      case kShadow: return shadow[it.v];
      case kValue: return it.v;
      case kElem: return uintptr_t(occ_at[it.v]);
      default: return uintptr_t(addr_of(it, s));
    }
  }

  // A compare at the common scale of its two values: the mask as the
  // instructions set it; false when the alignment leaves 64 bits.
  [[gnu::always_inline]] bool compare(const Node& x, uint32_t& mask) {
    int64_t a = v[x.a], b = v[x.b];
    int sa = sc[x.a], sb = sc[x.b];
    if (sa != sb) {
      // A constant to raise to the other's scale: as the last time, mostly.
      if (x.kc == 2 && sa > sb) {
        if (sa != x.csc) [[unlikely]] {
          if (!up64(b, sa - sb)) return false;
          x.cv = b;
          x.csc = int8_t(sa);
        }
        b = x.cv;
      } else if (x.kc == 1 && sb > sa) {
        if (sb != x.csc) [[unlikely]] {
          if (!up64(a, sb - sa)) return false;
          x.cv = a;
          x.csc = int8_t(sb);
        }
        a = x.cv;
      } else if (sa < sb ? !up64(a, sb - sa) : !up64(b, sa - sb)) {
        return false;
      }
    }
    if (x.cmp != kNoWork) {
      wk[0] = a;
      wk[1] = b;
      have_wk = 1;
      last_txt = -1;
    }
    int c = (a > b) - (a < b);
    mask = (mask & x.keep) | x.set[c + 1];
    return true;
  }

  // x's add or subtract of a and b at the larger of their scales into its
  // slot d; false when it cannot decide.
  [[gnu::always_inline]] bool sum(const Node& x, int64_t a, int sa, int64_t b, int sb) {
    if (sa != sb) [[unlikely]] {
      if (sa < sb ? !up64(a, sb - sa) : !up64(b, sa - sb)) return false;
      sa = std::max(sa, sb);
    }
    int64_t y;
    bool over = (x.kind & 1) == 0 ? __builtin_add_overflow(a, b, &y) : __builtin_sub_overflow(a, b, &y);
    if (over || (x.chk && (y >= kLimit15 || y <= -kLimit15))) return false;
    v[x.d] = y;
    sc[x.d] = sa;
    return true;
  }
  // The add or subtract x of a fused node, its lazy operand y at scale sy.
  [[gnu::always_inline]] bool fused_sum(const Node& x, int64_t y, int sy) {
    uint8_t o = x.lz == 1 ? x.b : x.a;
    if (sy > sc[o]) [[unlikely]]
      trim(y, sy);
    return x.lz == 1 ? sum(x, y, sy, v[o], sc[o]) : sum(x, v[o], sc[o], y, sy);
  }
  // x's product at the sum of the scales, without trailing zero decimals
  // unless x is lazy (and its scale 31 at most); false when it cannot decide.
  [[gnu::always_inline]] bool product(const Node& x, bool old_mul, int64_t& y, int& sy) {
    sy = sc[x.a] + sc[x.b];
    if (old_mul || __builtin_mul_overflow(v[x.a], v[x.b], &y)) return false;
    if (sy > 0 && (!x.lazy || sy > 31)) trim(y, sy);
    return sy <= 31;
  }
  // x's quotient by its constant (kDivK, as ii_divide_p10 divides), without
  // trailing zero decimals unless x is lazy (and it has 15 digits and 15
  // decimals at most); false when the general division decides.
  [[gnu::always_inline]] bool quotient(const Node& x, int64_t& y, int& sy) {
    int64_t a = v[x.a];
    int as = sc[x.a];
    sy = as + x.kd;
    uint64_t m = a < 0 ? uint64_t(0) - uint64_t(a) : uint64_t(a), q;
    if (m - 1 >= (uint64_t(1) << 53) - 1 || as > 15 || sy < 0 || __builtin_mul_overflow(m, x.f, &q)) return false;
    if (!x.lazy || sy > 15 || q >= uint64_t(kLimit15)) {
      ii_trim64(q, sy);
      if (sy > 15 || q >= uint64_t(kLimit15)) return false;
    }
    y = (a < 0) != (x.neg != 0) ? -int64_t(q) : int64_t(q);
    return true;
  }

  // The registers, the state of exit e and the mask as the instructions
  // leave them.
  // keep: the registers left as they are (Exit::keep, on the first
  // iteration of an entry at BEG LOOP).
  void write_back(const Exit& e, uint16_t keep = 0) {
    const uint64_t pair = ii_vc_pair();  // (the plan's own: Plan::pair, checked on entry)
    Bytes15& b15 = written15(pair);
    Plan::Written* const wr = pl.written.data();
    // The bytes of value x of 15 digits for what slot j of Plan::written
    // writes: as it wrote them last, or as another of this write wrote them.
    auto bytes = [&](size_t j, int64_t x) {
      Plan::Written& m = wr[j];
      if (m.v != x) {
        m.raw = b15.of(x, pair);
        m.v = x;
      }
      return m.raw;
    };
    for (uint8_t i : pl.stored_vp) {
      uint8_t* p = regs[i];
      if (fits15(v[i])) [[likely]] {
        uint64_t raw = bytes(i, v[i]);
        std::memcpy(p, &raw, 8);
        p[8] = uint8_t(sc[i]);
        // (ii_vc_enter, the place known: what reads it next finds it decoded)
        IiVcEntry& e = ii_vc_slot(place[i]);
        e.key = ii_vc_key(place[i], uint8_t(sc[i]), pair);
        e.raw = raw;
        e.v = v[i];
        continue;
      }
      pacdec::store8(p, encode(v[i]));
      p[8] = uint8_t(sc[i]);
    }
    for (uint8_t i : pl.stored_other) {
      if (pl.regs[i].bin) {  // (an integer of 32 bits: kStBin stored it)
        rec::view<rec::U32>(regs[i]) = uint32_t(int32_t(v[i]));
        continue;
      }
      // (kToFix kept it within the field's digits: pacdec::encode's bytes,
      // stored a byte at a time, as canonical_fixed reads them)
      const uint64_t m = v[i] < 0 ? uint64_t(0) - uint64_t(v[i]) : uint64_t(v[i]);
      uint64_t w = pacdec::bin_to_bcd(m) << 4 | (v[i] < 0 ? com.pd_neg : com.pd_pos);
      for (int b = pl.regs[i].flen - 1; b >= 0; --b, w >>= 8) regs[i][b] = uint8_t(w);
    }
    for (const RegItem* w = pl.writes.data() + e.first, *we = w + e.n; w < we; ++w) {
      if (keep >> w->k & 1) continue;
      uintptr_t x = value(w->it, w->k);
      if (w->k < 4) s->addr[w->k] = reinterpret_cast<uint8_t*>(x);
      else if (w->k < 8) s->len[w->k - 4] = uint16_t(x);
      else s->calc_count = uint32_t(x);
    }
    if (have_wk & 1)
      for (int k = 0; k < 2; ++k) {
        if (!fits15(wk[k])) {
          work_put(s->work[k], wk[k]);
          continue;
        }
        uint64_t raw = bytes(pl.nregs + size_t(k), wk[k]);
        std::memset(s->work[k], 0, 8);
        std::memcpy(s->work[k] + 8, &raw, 8);
      }
    if (last_txt >= 0) rec::view<rec::U32>(s->work[0]) = uint32_t(tw[last_txt]);
    if (have_wk & 2) s->work[0][0] = '1';
    s->mask = mask;
    if (e.call_ret) ii_gosub_push(s, ii_arena + e.call_ret, caller_mask);
    if (began) write_blocks();
  }
  // The control blocks of the inner loops begun, as their last BEG LOOP
  // and END LOOP left them (nothing reads them while the plan runs: they
  // lie apart from all it reads), and the interpreter's list of loops told
  // they began.
  [[gnu::noinline]] void write_blocks() {
    for (size_t i = 0; began >> i; ++i) {
      if (!(began >> i & 1)) continue;
      const InLoop& il = pl.inner[i];
      if (ito[i] != il.to_v) {
        il.to_raw = raw15(ito[i], pl.pair);
        il.to_v = ito[i];
      }
      if (istep[i] != il.step_v) {
        il.step_raw = raw15(istep[i], pl.pair);
        il.step_v = istep[i];
      }
      auto& ib = rec::view<IiLoopPd>(iblk[i]);
      std::memcpy(ib.to.data(), &il.to_raw, 8);
      ib.to_scale = 0;
      std::memcpy(ib.step.data(), &il.step_raw, 8);
      ib.step_scale = 0;
      ib.all_int = 1;
      ib.dir = uint8_t(int8_t(idir[i]));
      ib.back.off.set(active >> i & 1 ? il.body : 0);  // (the body's arena offset, or none)
      ii_loop_begun(s, iblk[i], ii_arena + il.body);
    }
  }
};

// SET's packed value x at scale sc (0-31) into a signed word: rounded to an
// integer (half away from zero), within -(2^31 - 1) .. 2^31 - 1.
[[gnu::always_inline]] inline bool to_word(int64_t x, int sc, int32_t* w) {
  uint64_t m = x < 0 ? uint64_t(0) - uint64_t(x) : uint64_t(x);
  if (sc != 0) [[unlikely]]
    ii_shift64(m, -sc);  // (down by 31 places at most: it cannot fail)
  if (m > 0x7FFFFFFF) return false;
  *w = int32_t(x < 0 ? -int64_t(m) : int64_t(m));
  return true;
}

// The little-endian word a rec::U32 holds, stored in one store (the
// nodes' code is compiled without cross-jumping, which also leaves the
// record's byte stores unmerged).
[[gnu::always_inline]] inline void store_u32(uint8_t* p, uint32_t w) {
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
  std::memcpy(p, &w, 4);
}

// A text move's copy (of texts apart) and blanks, a word at a time: the
// texts of a body are short, and a call for each costs more than the move.
[[gnu::always_inline]] inline void copy_words(uint8_t* t, const uint8_t* f, size_t n) {
  if (n < 8) {
    for (size_t i = 0; i < n; ++i) t[i] = f[i];
    return;
  }
  uint64_t w;
  for (size_t i = 0; i + 8 < n; i += 8) {
    std::memcpy(&w, f + i, 8);
    std::memcpy(t + i, &w, 8);
  }
  std::memcpy(&w, f + n - 8, 8);  // (the last word, over the one before when n is no multiple of 8)
  std::memcpy(t + n - 8, &w, 8);
}
[[gnu::always_inline]] inline void blank_words(uint8_t* t, size_t n) {
  if (n < 8) {
    for (size_t i = 0; i < n; ++i) t[i] = ' ';
    return;
  }
  const uint64_t w = 0x2020202020202020ULL;
  for (size_t i = 0; i + 8 < n; i += 8) std::memcpy(t + i, &w, 8);
  std::memcpy(t + n - 8, &w, 8);
}

// Whether the registers lie apart from each other, the constants and the
// loop control block, and the fixed fields apart from every register the
// body stores, every constant and the block; the inner loops' control
// blocks (which the instructions write as the body runs) apart from every
// register, constant, fixed field, the loop control block, each other, the
// area words the body reads and its code; remembered (Plan::seen) when they
// do: the answer depends only on these addresses, the constants' and
// words' being the code's.
[[gnu::noinline]] bool apart(Plan& pl, uint8_t* const* regs, uint8_t* const* fx, const uint8_t* blk,
                             uint8_t* const* iblk) {
  auto overlap = [](const uint8_t* p, size_t n, const uint8_t* q, size_t m) { return p < q + m && q < p + n; };
  auto on_cnst = [&](const uint8_t* p, size_t n) {
    for (const Cnst& k : pl.cnsts)
      if (overlap(p, n, ii_arena + k.at, k.len)) return true;
    return false;
  };
  size_t nr = pl.regs.size(), nf = pl.fixes.size();
  for (size_t i = 0; i < nr; ++i) {
    size_t n = pl.regs[i].len();
    if (overlap(regs[i], n, blk, sizeof(IiLoopPd)) || on_cnst(regs[i], n)) return false;
    for (size_t j = 0; j < i; ++j)
      if (overlap(regs[i], n, regs[j], pl.regs[j].len())) return false;
  }
  for (size_t i = 0; i < nf; ++i) {
    size_t n = pl.fixes[i].len;
    if (overlap(fx[i], n, blk, sizeof(IiLoopPd)) || on_cnst(fx[i], n)) return false;
    for (size_t j = 0; j < nr; ++j)  // (what the body stores: a register it only reads changes nothing)
      if (pl.regs[j].stored && overlap(fx[i], n, regs[j], pl.regs[j].len())) return false;
  }
  const size_t ni = pl.inner.size(), kb = sizeof(IiLoopPd);
  for (size_t i = 0; i < ni; ++i) {
    const uint8_t* b = iblk[i];
    if (overlap(b, kb, blk, kb) || on_cnst(b, kb)) return false;
    for (size_t j = 0; j < nr; ++j)
      if (overlap(b, kb, regs[j], pl.regs[j].len())) return false;
    for (size_t j = 0; j < nf; ++j)
      if (overlap(b, kb, fx[j], pl.fixes[j].len)) return false;
    for (size_t j = 0; j < i; ++j)
      if (overlap(b, kb, iblk[j], kb)) return false;
    for (uint32_t w : pl.words)
      if (overlap(b, kb, ii_arena + w, 4)) return false;
    for (const auto& sp : pl.spans)
      if (overlap(b, kb, ii_arena + sp.first, sp.second - sp.first)) return false;
    for (const InLoop& il : pl.inner)
      if (overlap(b, kb, ii_arena + il.beg, sizeof(IbBegLoop)) || overlap(b, kb, ii_arena + il.end, sizeof(IbEndLoop)))
        return false;
    if (overlap(b, kb, ii_arena + pl.end_pc, sizeof(IbEndLoop))) return false;
  }
  for (size_t i = 0; i < nr; ++i) pl.seen[i] = off(regs[i]);
  for (size_t i = 0; i < nf; ++i) pl.seen[nr + i] = off(fx[i]);
  pl.seen[nr + nf] = off(blk);
  for (size_t i = 0; i < ni; ++i) pl.seen[nr + nf + 1 + i] = off(iblk[i]);
  pl.seen_ok = true;
  return true;
}

// Places what the text moves, DATE ADDs, dates, texts and occurrences of
// the body read and write (Plan::extras), for run: false when the plan
// cannot start.
[[gnu::noinline]] bool place(const Plan& pl, Run& r, IlfState* s, uint8_t* blk, uint8_t* const* fx) {
  const size_t nr = pl.regs.size();
  // The text moves and DATE ADDs write their targets as the body runs:
  // apart from every register, constant, fixed field, the loop control
  // block, the area words the body reads and its code, which the plan
  // reads once or holds as they were; what they read apart from every
  // register the body stores and the loop control block (a date or text
  // compared under a target is compared each time: see below).
  auto disjoint = [](const uint8_t* p, size_t n, const uint8_t* q, size_t m) { return p + n <= q || q + m <= p; };
  auto blocks_apart = [&](const uint8_t* p, size_t n) {
    if (!disjoint(p, n, blk, sizeof(IiLoopPd))) return false;
    for (size_t i = 0; i < pl.inner.size(); ++i)
      if (!disjoint(p, n, r.iblk[i], sizeof(IiLoopPd))) return false;
    return true;
  };
  auto read_apart = [&](const uint8_t* p, size_t n) {
    if (!blocks_apart(p, n)) return false;
    for (size_t i = 0; i < nr; ++i)
      if (pl.regs[i].stored && !disjoint(p, n, r.regs[i], pl.regs[i].len())) return false;
    return true;
  };
  auto write_apart = [&](const uint8_t* p, size_t n) {
    if (!blocks_apart(p, n)) return false;
    for (const InLoop& il : pl.inner)  // (their bytes 3 are no span's)
      if (!disjoint(p, n, ii_arena + il.beg, sizeof(IbBegLoop)) || !disjoint(p, n, ii_arena + il.end, sizeof(IbEndLoop)))
        return false;
    for (size_t i = 0; i < nr; ++i)
      if (!disjoint(p, n, r.regs[i], pl.regs[i].len())) return false;
    for (const Cnst& c : pl.cnsts)
      if (!disjoint(p, n, ii_arena + c.at, c.len)) return false;
    for (size_t i = 0; i < pl.fixes.size(); ++i)
      if (!disjoint(p, n, fx[i], pl.fixes[i].len)) return false;
    for (uint32_t w : pl.words)
      if (!disjoint(p, n, ii_arena + w, 4)) return false;
    for (const auto& sp : pl.spans)  // (the body and the routines)
      if (!disjoint(p, n, ii_arena + sp.first, sp.second - sp.first)) return false;
    if (!disjoint(p, n, ii_arena + pl.end_pc, 8)) return false;  // (END LOOP)
    return true;
  };
  auto at_of = [](const Item& it) { return it.kind == kConst ? ii_arena + it.v : ii_ref(ii_arena + it.v); };
  // The occurrences' arrays, every element their instructions let them
  // reach: written there as a text move's target is, read as its source.
  size_t occ_wr[kMaxOccs];  // the bytes from element 1 the body may write
  for (size_t k = 0; k < pl.occs.size(); ++k) {
    const Occ& o = pl.occs[k];
    uint8_t* base = r.occ_base[k] = ii_ref(ii_arena + o.word);
    if (!base) return false;
    uint32_t last = r.occ_last[k] = ii_occ_last(s, rec::view<IbOcc>(ii_arena + o.pc), base);
    uint64_t reach = last ? uint64_t(last - 1) * o.elem_len : 0;  // (none: each run of it leaves the plan)
    if (reach >= (uint64_t(1) << 32)) return false;
    occ_wr[k] = last && o.wr ? size_t(reach + o.wr) : 0;
    if ((occ_wr[k] && !write_apart(base, occ_wr[k])) || (last && o.rd && !read_apart(base, size_t(reach + o.rd))))
      return false;
  }
  for (size_t k = 0; k < pl.movs.size(); ++k) {
    const TextMov& mv = pl.movs[k];
    for (int j = 0; j < 2; ++j) {
      const Item& it = mv.op[j];
      if (it.kind == kElem) {
        r.mref[k][j] = &r.occ_at[it.v];
        continue;
      }
      uint8_t* p = r.mat[k][j] = at_of(it);
      if (!p || !(j == 0 ? write_apart(p, mv.written()) : read_apart(p, mv.len))) return false;
      r.mref[k][j] = &r.mat[k][j];
    }
  }
  for (size_t k = 0; k < pl.dadds.size(); ++k) {
    const DateAdd& da = pl.dadds[k];
    uint8_t* t = r.dat_at[k][0] = at_of(da.op[0]);
    uint8_t* c = r.dat_at[k][1] = at_of(da.op[1]);
    if (!t || !c || !write_apart(t, DateAdd::kLen) || !read_apart(c, da.count_len)) return false;
  }
  auto under_a_write = [&](const uint8_t* p, size_t n) {
    for (size_t k = 0; k < pl.movs.size(); ++k)
      if (pl.movs[k].op[0].kind != kElem && !disjoint(p, n, r.mat[k][0], pl.movs[k].written())) return true;
    for (size_t k = 0; k < pl.dadds.size(); ++k)
      if (!disjoint(p, n, r.dat_at[k][0], DateAdd::kLen)) return true;
    for (size_t k = 0; k < pl.occs.size(); ++k)
      if (occ_wr[k] && !disjoint(p, n, r.occ_base[k], occ_wr[k])) return true;
    return false;
  };
  // The dates, compared once (or each time, under a move or DATE ADD):
  // apart from every stored register and the loop control block as the
  // fixed fields are.
  for (size_t k = 0; k < pl.dates.size(); ++k) {
    const DateCmp& d = pl.dates[k];
    uint8_t** at = r.dt_at[k];
    r.dlive[k] = false;
    for (int j = 0; j < 2; ++j) {
      uint8_t* p = at[j] = at_of(d.op[j]);
      if (!p || !read_apart(p, d.len[j])) return false;
      r.dlive[k] |= under_a_write(p, d.len[j]);
    }
    if (!r.dlive[k]) r.dc[k] = ii_if_dat_compare(ii_arena + d.pc, at[0], at[1]);
  }
  // The texts, compared as IF_STR_EQ and IF_STR_REST compare them: apart
  // from every stored register and the loop control block too; once, or
  // each time under a write or when one is an element.
  for (size_t k = 0; k < pl.texts.size(); ++k) {
    const TextCmp& t = pl.texts[k];
    uint8_t** at = r.tat[k];
    r.tlive[k] = false;
    for (int j = 0; j < 2; ++j) {
      if (t.op[j].kind == kElem) {
        r.tref[k][j] = &r.occ_at[t.op[j].v];
        r.tlive[k] = true;
        continue;
      }
      uint8_t* p = at[j] = at_of(t.op[j]);
      if (!p || !read_apart(p, t.extent(j))) return false;
      r.tref[k][j] = &at[j];
      r.tlive[k] |= under_a_write(p, t.extent(j));
    }
    if (!r.tlive[k]) r.text_cmp(k, at[0], at[1]);
  }
  return true;
}

// Sets the interpreter's counter: n instructions started since the yield.
void set_count(IlfState* s, uint32_t n) {
  int32_t t = ii_slow_mode() ? 1 : int32_t(kIiYieldEvery + 2) - int32_t(n);
  s->count = n;
  s->armed = s->tick = t < 1 ? 1 : t;
}

// What run takes from the loop control block on entry.
struct LoopIn {
  uint8_t* blk;
  int64_t to, step;
  int dir;
};
// An entry's checks and reads for run (kept apart from the nodes' code, so
// that what it holds in registers does not crowd theirs): false when the
// plan cannot start.
[[gnu::noinline]] bool start(Plan& pl, Run& r, IlfState* s, uint8_t* blk, bool first, LoopIn* lp) {
  if (pl.entry_regs)
    for (int k = 0; k < 4; ++k) {
      r.e_addr[k] = s->addr[k];
      r.e_len[k] = s->len[k];
    }
  uint8_t* const arena = ii_arena;
  const size_t nr = pl.nregs, nc = pl.ncnsts, nf = pl.nfixes;
  if (!blk) return false;
  auto& lb = rec::view<IiLoopPd>(blk);
  if (!lb.all_int || lb.back.get() != arena + pl.back) return false;
  // TO and STEP: the loop's memo holds their values while their bytes are
  // still the ones it saw.
  int64_t& to = lp->to;
  int64_t& step = lp->step;
  lp->blk = blk;
  const IlfState::LoopMemo& lm = ii_loop_memo(s, blk);
  if (lm.blk == blk && lm.to_raw == u64_at(lb.to.data()) && lm.step_raw == u64_at(lb.step.data())) {
    to = lm.to;
    step = lm.step;
  } else if (!decode(lb.to.data(), &to) || !decode(lb.step.data(), &step)) {
    return false;
  }
  lp->dir = int8_t(lb.dir.get());
  // The registers through the value cache: valid bytes (a hit is bytes
  // the cache decoded or saw stored) at a scale of 0-31, and a zero the
  // positive one.
  const uint64_t hi = ii_vc_hi(ii_vc_pair());
  const uint32_t* seen = pl.seen.data();
  const Reg* rg = pl.regs.data();
  bool same = pl.seen_ok;
  for (size_t i = 0; i < nr; ++i) {
    const uint32_t o = u32_at(arena + rg[i].word);
    if (!o) return false;
    uint8_t* p = arena + o;
    r.regs[i] = p;
    r.place[i] = o;
    same &= seen[i] == o;
    if (!rg[i].other) [[likely]] {
      if (!ii_vc_lookup<false>(p, hi, r.v[i], r.sc[i]) || r.sc[i] > 31 ||
          (r.v[i] == 0 && (p[7] & 0xF) != com.pd_pos))
        return false;
    } else if (rg[i].bin) {
      r.v[i] = int32_t(rec::view<rec::U32>(p).get());
      r.sc[i] = 0;
    } else {
      r.sc[i] = rg[i].fsc;
      if (!canonical_fixed(p, rg[i].flen, &r.v[i])) return false;
    }
  }
  for (size_t i = 0; i < nc; ++i) {  // (a few: a copy of them as a block starts slower)
    r.v[nr + i] = pl.cnsts[i].v;
    r.sc[nr + i] = pl.cnsts[i].sc;
  }
  // The fixed fields: canonical values (nothing changes them while the plan
  // runs).
  uint8_t* fx[kMaxSlots];
  for (size_t i = 0, at = nr + nc; i < nf; ++i, ++at) {
    const Fixed& f = pl.fixes[i];
    uint8_t* p = fx[i] = f.direct ? arena + f.word : ii_ref(arena + f.word);
    if (!p) return false;
    if (f.bin) r.v[at] = ii_read_bin_code(p, f.bin);
    else if (!canonical_fixed(p, f.len, &r.v[at])) return false;
    r.sc[at] = f.sc;
    same &= seen[nr + i] == off(p);
  }
  // The inner loops' control blocks, each one the interpreter's list of
  // loops holds or has room for (a loop begun past its room would take the
  // place of its first).
  same &= seen[nr + nf] == off(blk);
  for (size_t i = 0; i < pl.inner.size(); ++i) {
    uint8_t* b = r.iblk[i] = ii_field(reinterpret_cast<const uint8_t*>(&rec::view<IbBegLoop>(arena + pl.inner[i].beg).ira));
    if (!b) return false;
    if (s->nloops >= IlfState::kLoops &&
        std::none_of(s->loops, s->loops + s->nloops, [&](const IlfState::LoopBack& l) { return l.blk == b; }))
      return false;
    same &= seen[nr + nf + 1 + i] == off(b);
  }
  // Where they lie: checked when it is not where the last entry checked it.
  if (!same && !apart(pl, r.regs, fx, blk, r.iblk)) return false;
  for (uint32_t w : pl.words_more)  // (the IRA would end the event point: no data area)
    if (!u32_at(arena + w)) return false;
  if (pl.extras && !place(pl, r, s, blk, fx)) return false;
  // The interpreter's registers hold what the body's end leaves (a shadow
  // there takes what the register holds); at BEG LOOP, those of live_top
  // (Plan::tops_first: the others hold anything, and only a shadow or an
  // element needs setting).
  const uint16_t live = first ? pl.live_top : 0x1FF;
  for (const RegItem& t : first ? pl.tops_first : pl.tops) {
    uintptr_t now = t.k < 4 ? uintptr_t(s->addr[t.k]) : t.k < 8 ? s->len[t.k - 4] : s->calc_count;
    if (t.it.kind == kShadow) r.shadow[t.it.v] = now;
    else if (!(live >> t.k & 1)) {
      if (t.it.kind == kElem) r.occ_at[t.it.v] = r.occ_base[t.it.v];  // (set before any node reads it)
    } else if (t.it.kind == kElem) {
      // An element the body's end left the register at: one of those the
      // entry checked (a GOTO into the body may leave it anywhere).
      const size_t k = t.it.v;
      uint8_t* at = r.occ_at[k] = reinterpret_cast<uint8_t*>(now);
      const uint64_t from = uint64_t(at - r.occ_base[k]), len = pl.occs[k].elem_len;
      if (at < r.occ_base[k] || from % len != 0 || from / len >= r.occ_last[k]) return false;
    }
    else if (now != r.value(t.it, t.k)) return false;
  }
  return true;
}

// Runs the plan from the top of the body, blk the END LOOP's loop control
// block: the instruction to go on at, or null when it could not start;
// first: entered at BEG LOOP (first_entry).
// The nodes keep the addresses of their code (Node::go) from one run to
// the next: one copy of it only.
#if defined(__clang__)
__attribute__((noinline))
#else
__attribute__((noinline, noclone, optimize("no-crossjumping")))
#endif
uint8_t* run(Plan& pl, IlfState* s, uint8_t* blk, uint64_t* ran, bool first) {
  Run r(pl, s);
  LoopIn lp;
  if (!start(pl, r, s, blk, first, &lp)) return nullptr;
  auto& lb = rec::view<IiLoopPd>(lp.blk);
  const int64_t to = lp.to, step = lp.step;
  const int dir = lp.dir;
  // The work values stay as they are until a compare runs.
  r.fix_sets();

  // (Under the older multiply the products go to their general code, which
  // leaves the plan: the nodes are linked again when it is switched.)
  bool old_mul = ii_math_old_mul();
  // The yield: once the instructions started since the last one pass the
  // interpreter's count, every iteration taken as its longest path (and
  // each further iteration of an inner loop as its body's).
  uint32_t base = s->count + uint32_t(s->armed - s->tick);
  const uint32_t per = pl.per_iter;
  int64_t since = 0;  // iterations (and the inner loops' further steps: Run::extra)
  r.room = base > uint32_t(kIiYieldEvery) + 1 ? -1 : int64_t(uint32_t(kIiYieldEvery) + 1 - base);
  int64_t cap = r.room < 0 ? -1 : r.room / per;
  uint64_t iters = 0;
  int64_t* v = r.v;
  int* sc = r.sc;
  uint32_t mask = r.mask;
  uint16_t leave;
  // Each node ends by going to the next one's code (Node::go): a jump of
  // its own per kind, which predicts the next kind far better than one
  // shared dispatch. The stores, sums and moves have forms of their own
  // per operation and check; each leaves what it cannot settle at once
  // (scales apart, an overflow, 15 digits passed) to its kind's general
  // code, which decides or leaves the plan.
  static_assert(kEndIn == 33, "one label per node kind");
  static const void* const kAt[34] = {&&n_add,     &&n_sub,  &&n_mul,   &&n_div,   &&n_neg,     &&n_mov,     &&n_cmp,
                                      &&n_cmp_tfc, &&n_tfc,  &&n_chk,   &&n_jmp,   &&n_edge,    &&n_call,    &&n_ret,
                                      &&n_exit,    &&n_end,  &&n_addz,  &&n_addz,  &&n_divk,    &&n_mul_add, &&n_div_add,
                                      &&n_cmp_dat, &&n_st_bin, &&n_cmp_txt, &&n_mov_txt, &&n_sum_w, &&n_to_w, &&n_date_add, &&n_to_fix,
                                      &&n_occ_at, &&n_to_w_at, &&n_ld_bin, &&n_beg, &&n_end_in};
  if (!pl.linked || pl.linked_old_mul != old_mul) {
    for (Node& n : pl.nodes) {
      const void* go = kAt[n.kind];
      if (n.kind == kAdd) go = n.chk ? &&f_add_c : &&f_add;
      if (n.kind == kSub) go = n.chk ? &&f_sub_c : &&f_sub;
      if (n.kind == kMov) go = n.chk ? &&f_mov_c : &&f_mov;
      if (n.kind == kMul && !old_mul) go = n.chk ? &&f_mul_c : &&f_mul;
      if (n.kind == kMulAdd && !old_mul) {
        const Node& u = (&n)[1];
        go = u.kind == kAddZ ? (u.chk ? &&f_mul_add_c : &&f_mul_add)
             : u.lz == 1     ? (u.chk ? &&f_mul_sub_c : &&f_mul_sub)
                             : (u.chk ? &&f_sub_mul_c : &&f_sub_mul);
      }
      if (n.kind == kDivAdd) {
        const Node& u = (&n)[1];
        go = u.kind == kAddZ ? (u.chk ? &&f_div_add_c : &&f_div_add)
             : u.lz == 1     ? (u.chk ? &&f_div_sub_c : &&f_div_sub)
                             : (u.chk ? &&f_sub_div_c : &&f_sub_div);
      }
      if (n.kind == kEdge && n.as_n >= 1 && n.as_first + n.as_n <= kMaxFixedSets) {
        const ShadowSet* a = pl.sets.data() + n.as_first;
        if (n.as_n <= 3 && std::all_of(a, a + n.as_n, [](const ShadowSet& x) { return stays(x.it); })) {
          n.a = uint8_t(a[0].sid);
          n.b = uint8_t(a[std::min(n.as_n, uint16_t(2)) - 1].sid);
          n.d = uint8_t(a[n.as_n - 1].sid);
          go = n.as_n == 1 ? &&f_edge1 : n.as_n == 2 ? &&f_edge2 : &&f_edge3;
        } else if (std::all_of(a, a + n.as_n, [](const ShadowSet& x) { return stays(x.it) || x.it.kind == kShadow; })) {
          go = &&f_edge_src;
        }
      }
      n.go = go;
    }
    pl.linked = true;
    pl.linked_old_mul = old_mul;
  }
  const Node* const nodes = pl.nodes.data();
  const Node* xp = nodes;
  int64_t fy;  // a fused node's product or quotient, and its scale
  int fsy;
#define QV_NEXT goto* xp->go
#define QV_LEAVE     \
  {                  \
    leave = xp->exit; \
    goto out;        \
  }
// The yield: everything written back as exit E leaves it, ss_yield, the
// count begun again; when the trace or the debugger came on meanwhile, the
// plan leaves there.
#define QV_YIELD(E)                    \
  {                                    \
    r.mask = mask;                     \
    r.write_back(pl.exits[E]);         \
    ss_yield();                        \
    base = 1;                          \
    since = r.extra = 0;               \
    r.room = int64_t(kIiYieldEvery);   \
    cap = r.room / per;                \
    r.fix_sets();                      \
    if (ii_slow_mode()) {              \
      leave = E;                       \
      goto out;                        \
    }                                  \
  }
// An add or subtract of two operands at one scale, its result within 64
// bits (and 15 digits when it is a store).
#define QV_SUM(OP, CHK)                                                                                  \
  {                                                                                                      \
    const uint8_t a_ = xp->a, b_ = xp->b;                                                                \
    const int s_ = sc[a_];                                                                               \
    int64_t y_;                                                                                          \
    if (s_ != sc[b_] || __builtin_##OP##_overflow(v[a_], v[b_], &y_) || (CHK && !fits15(y_))) [[unlikely]] \
      goto n_add;                                                                                        \
    v[xp->d] = y_;                                                                                       \
    sc[xp->d] = s_;                                                                                      \
    ++xp;                                                                                                \
    QV_NEXT;                                                                                             \
  }
// A lazy product and the add or subtract after it, the product's scale
// the other operand's: no zeros to drop, no scales to align. REV: the
// product is subtracted from the other operand.
#define QV_MUL_SUM(OP, REV, CHK)                                                                          \
  {                                                                                                       \
    const Node* u_ = xp + 1;                                                                              \
    const uint8_t o_ = u_->lz == 1 ? u_->b : u_->a;                                                       \
    const int s_ = sc[o_];                                                                                \
    int64_t p_, y_;                                                                                       \
    if (sc[xp->a] + sc[xp->b] != s_ || __builtin_mul_overflow(v[xp->a], v[xp->b], &p_) ||                 \
        (REV ? __builtin_##OP##_overflow(v[o_], p_, &y_) : __builtin_##OP##_overflow(p_, v[o_], &y_)) ||  \
        (CHK && !fits15(y_))) [[unlikely]]                                                                \
      goto n_mul_add;                                                                                     \
    v[u_->d] = y_;                                                                                        \
    sc[u_->d] = s_;                                                                                       \
    xp += 2;                                                                                              \
    QV_NEXT;                                                                                              \
  }
// A product of two operands at scale 0.
#define QV_MUL(CHK)                                                                                      \
  {                                                                                                      \
    const uint8_t a_ = xp->a, b_ = xp->b;                                                                \
    int64_t y_;                                                                                          \
    if (sc[a_] + sc[b_] != 0 || __builtin_mul_overflow(v[a_], v[b_], &y_) || (CHK && !fits15(y_)))             \
        [[unlikely]]                                                                                     \
      goto n_mul;                                                                                        \
    v[xp->d] = y_;                                                                                       \
    sc[xp->d] = 0;                                                                                       \
    ++xp;                                                                                                \
    QV_NEXT;                                                                                             \
  }
// A lazy quotient by a constant of 2s and 5s and the add or subtract after
// it, the quotient's scale the other operand's (15 at most) and the
// quotient within 15 digits: nothing to drop, no scales to align.
#define QV_DIV_SUM(OP, REV, CHK)                                                                           \
  {                                                                                                        \
    const Node* u_ = xp + 1;                                                                               \
    const uint8_t o_ = u_->lz == 1 ? u_->b : u_->a;                                                        \
    const int s_ = sc[o_], as_ = sc[xp->a];                                                                \
    const int64_t a_ = v[xp->a];                                                                           \
    const uint64_t m_ = a_ < 0 ? uint64_t(0) - uint64_t(a_) : uint64_t(a_);                                \
    uint64_t q_;                                                                                           \
    int64_t y_;                                                                                            \
    if (as_ + xp->kd != s_ || as_ > 15 || s_ > 15 || m_ - 1 >= (uint64_t(1) << 53) - 1 ||                  \
        __builtin_mul_overflow(m_, xp->f, &q_) || q_ >= uint64_t(kLimit15)) [[unlikely]]                   \
      goto n_div_add;                                                                                      \
    const int64_t d_ = (a_ < 0) != (xp->neg != 0) ? -int64_t(q_) : int64_t(q_);                            \
    if ((REV ? __builtin_##OP##_overflow(v[o_], d_, &y_) : __builtin_##OP##_overflow(d_, v[o_], &y_)) ||   \
        (CHK && !fits15(y_))) [[unlikely]]                                                                 \
      goto n_div_add;                                                                                      \
    v[u_->d] = y_;                                                                                         \
    sc[u_->d] = s_;                                                                                        \
    xp += 2;                                                                                               \
    QV_NEXT;                                                                                               \
  }
  QV_NEXT;
  {
      f_mul: QV_MUL(false)
      f_mul_c: QV_MUL(true)
      f_div_add: QV_DIV_SUM(add, false, false)
      f_div_add_c: QV_DIV_SUM(add, false, true)
      f_div_sub: QV_DIV_SUM(sub, false, false)
      f_div_sub_c: QV_DIV_SUM(sub, false, true)
      f_sub_div: QV_DIV_SUM(sub, true, false)
      f_sub_div_c: QV_DIV_SUM(sub, true, true)
      f_add: QV_SUM(add, false)
      f_add_c: QV_SUM(add, true)
      f_sub: QV_SUM(sub, false)
      f_sub_c: QV_SUM(sub, true)
      f_mul_add: QV_MUL_SUM(add, false, false)
      f_mul_add_c: QV_MUL_SUM(add, false, true)
      f_mul_sub: QV_MUL_SUM(sub, false, false)
      f_mul_sub_c: QV_MUL_SUM(sub, false, true)
      f_sub_mul: QV_MUL_SUM(sub, true, false)
      f_sub_mul_c: QV_MUL_SUM(sub, true, true)
      f_mov:
        v[xp->d] = v[xp->a];
        sc[xp->d] = sc[xp->a];
        ++xp;
        QV_NEXT;
      f_mov_c:
        if (!fits15(v[xp->a])) [[unlikely]]
          QV_LEAVE;
        v[xp->d] = v[xp->a];
        sc[xp->d] = sc[xp->a];
        ++xp;
        QV_NEXT;
      n_addz: {  // a lazy product or quotient above the other operand's scale drops its zeros first
        uint8_t q = xp->lz == 1 ? xp->a : xp->b, o = xp->lz == 1 ? xp->b : xp->a;
        if (sc[q] > sc[o]) [[unlikely]]
          trim(v[q], sc[q]);
        goto n_add;
      }
      n_add: n_sub:
        if (!r.sum(*xp, v[xp->a], sc[xp->a], v[xp->b], sc[xp->b])) QV_LEAVE;
        ++xp;
        QV_NEXT;
      n_mul: {
        int64_t y;
        int sy;
        if (!r.product(*xp, old_mul, y, sy) || (xp->chk && !fits15(y))) QV_LEAVE;
        v[xp->d] = y;
        sc[xp->d] = sy;
        ++xp;
        QV_NEXT;
      }
      n_div: {  // as the instructions divide (through double, 15 digits)
        int64_t y;
        int sy;
        if (!ii_math_divide(v[xp->a], sc[xp->a], v[xp->b], sc[xp->b], &y, &sy) ||
            (xp->chk && !fits15(y)))  // (17 digits at scale 0)
          QV_LEAVE;
        v[xp->d] = y;
        sc[xp->d] = sy;
        ++xp;
        QV_NEXT;
      }
      n_divk: {
        int64_t y;
        int sy;
        if (!r.quotient(*xp, y, sy)) [[unlikely]]
          goto n_div;
        v[xp->d] = y;
        sc[xp->d] = sy;
        ++xp;
        QV_NEXT;
      }
      n_mul_add:  // the product, then the add or subtract after it
        if (!r.product(*xp, old_mul, fy, fsy)) QV_LEAVE;
        goto fused;
      n_div_add:
        if (!r.quotient(*xp, fy, fsy) && !ii_math_divide(v[xp->a], sc[xp->a], v[xp->b], sc[xp->b], &fy, &fsy))
          QV_LEAVE;
      fused:
        if (!r.fused_sum(xp[1], fy, fsy)) QV_LEAVE;
        xp += 2;
        QV_NEXT;
      n_neg:
        if (v[xp->a] == INT64_MIN || (xp->chk && !fits15(v[xp->a]))) QV_LEAVE;
        v[xp->d] = -v[xp->a];
        sc[xp->d] = sc[xp->a];
        ++xp;
        QV_NEXT;
      n_mov: {
        int64_t y = v[xp->a];
        if (xp->chk && !fits15(y)) QV_LEAVE;
        v[xp->d] = y;
        sc[xp->d] = sc[xp->a];
        ++xp;
        QV_NEXT;
      }
      n_cmp:
        if (!r.compare(*xp, mask)) [[unlikely]]
          QV_LEAVE;
        ++xp;
        QV_NEXT;
      n_cmp_tfc:
        if (!r.compare(*xp, mask)) [[unlikely]]
          QV_LEAVE;
        xp = (mask | xp->cond) != xp->cond ? nodes + xp->to : xp + 2;
        QV_NEXT;
      n_cmp_dat: {
        if (r.dlive[xp->dat]) [[unlikely]]
          r.dc[xp->dat] = ii_if_dat_compare(ii_arena + pl.dates[xp->dat].pc, r.dt_at[xp->dat][0], r.dt_at[xp->dat][1]);
        int c = r.dc[xp->dat];
        if (c == kIiBadDate) [[unlikely]]
          QV_LEAVE;
        mask = (mask & xp->keep) | xp->set[c + 1];
        ++xp;
        QV_NEXT;
      }
      n_cmp_txt:
        if (r.tlive[xp->dat]) r.text_cmp(xp->dat, *r.tref[xp->dat][0], *r.tref[xp->dat][1]);
        r.last_txt = xp->dat;
        r.have_wk &= 1;  // (its comparison over a COMPUTE's sign byte)
        mask = (mask & xp->keep) | xp->set[r.tc[xp->dat] + 1];
        ++xp;
        QV_NEXT;
      n_date_add: {
        uint8_t* const* at = r.dat_at[xp->dat];
        if (!ii_date_add_days(ii_arena + pl.dadds[xp->dat].pc, at[0], at[1])) [[unlikely]]
          QV_LEAVE;
        ++xp;
        QV_NEXT;
      }
      n_mov_txt: {
        const TextMov& mv = pl.movs[xp->dat];
        uint8_t* t = *r.mref[xp->dat][0];
        const uint8_t* f = *r.mref[xp->dat][1];
        if (t + mv.len <= f || f + mv.len <= t) copy_words(t, f, mv.len);
        else std::memmove(t, f, mv.len);
        blank_words(t + mv.len, mv.pad);
        ++xp;
        QV_NEXT;
      }
      n_tfc:
        xp = (mask | xp->keep) != xp->keep ? nodes + xp->to : xp + 1;
        QV_NEXT;
      n_chk: {
        uint32_t lv = (mask >> (xp->keep - 2)) & 3;
        if (xp->cond) {
          xp = lv == 1 ? nodes + xp->to : xp + 1;
          QV_NEXT;
        }
        if (lv == 3 || lv == 0) [[unlikely]]
          QV_LEAVE;
        xp = lv == 1 ? xp + 1 : nodes + xp->to;
        QV_NEXT;
      }
      n_jmp:
        xp = nodes + xp->to;
        QV_NEXT;
      n_call:
        if (s->gosubs >= kIiGosubDepth) [[unlikely]]
          QV_LEAVE;
        r.caller_mask = mask;
        mask = 0x3FF;
        ++xp;
        QV_NEXT;
      n_ret:
        mask = r.caller_mask;
        xp = nodes + xp->to;
        QV_NEXT;
      f_edge1:  // one to three assignments, of what stays (Run::fixed_set): Node::a, b and d the shadows
        r.shadow[xp->a] = r.fixed_set[xp->as_first];
        xp = xp->jump ? nodes + xp->to : xp + 1;
        QV_NEXT;
      f_edge2:
        r.shadow[xp->a] = r.fixed_set[xp->as_first];
        r.shadow[xp->b] = r.fixed_set[xp->as_first + 1];
        xp = xp->jump ? nodes + xp->to : xp + 1;
        QV_NEXT;
      f_edge3:
        r.shadow[xp->a] = r.fixed_set[xp->as_first];
        r.shadow[xp->b] = r.fixed_set[xp->as_first + 1];
        r.shadow[xp->d] = r.fixed_set[xp->as_first + 2];
        xp = xp->jump ? nodes + xp->to : xp + 1;
        QV_NEXT;
      f_edge_src: {  // the same of what stays or another shadow holds (Run::src)
        const ShadowSet* a = pl.sets.data() + xp->as_first;
        for (uint16_t n = 0; n < xp->as_n; ++n) r.shadow[a[n].sid] = *r.src[xp->as_first + n];
        xp = xp->jump ? nodes + xp->to : xp + 1;
        QV_NEXT;
      }
      n_edge: {
        const ShadowSet* a = pl.sets.data() + xp->as_first;
        for (uint16_t n = 0; n < xp->as_n; ++n) r.shadow[a[n].sid] = r.value(a[n].it, a[n].k);
        xp = xp->jump ? nodes + xp->to : xp + 1;
        QV_NEXT;
      }
      n_st_bin: {  // into a binary register: rounded to its word, as CALC stores it
        int32_t w;
        if (!ii_round_word(v[xp->a], sc[xp->a], &w)) QV_LEAVE;
        v[xp->d] = w;
        sc[xp->d] = 0;
        ++xp;
        QV_NEXT;
      }
      n_sum_w: {  // COMPUTE into a signed word: the sum within its range
        const int64_t y = xp->neg ? v[xp->a] - v[xp->b] : v[xp->a] + v[xp->b];
        if (y != int64_t(int32_t(y))) [[unlikely]]
          QV_LEAVE;
        v[xp->d] = y;
        r.have_wk |= 2;
        ++xp;
        QV_NEXT;
      }
      n_to_w: {  // SET into a signed word: rounded to an integer, within its range
        int32_t w;
        if (!to_word(v[xp->a], sc[xp->a], &w)) [[unlikely]]
          QV_LEAVE;
        v[xp->d] = w;
        ++xp;
        QV_NEXT;
      }
      n_to_w_at: {  // the same into a word element, in place
        int32_t w;
        if (!to_word(v[xp->a], sc[xp->a], &w)) [[unlikely]]
          QV_LEAVE;
        store_u32(r.occ_at[xp->dat], uint32_t(w));
        ++xp;
        QV_NEXT;
      }
      n_ld_bin:  // SET of a binary element into packed: its value at the instruction's scale
        v[xp->d] = ii_read_bin_code(r.occ_at[xp->dat], xp->lz);
        sc[xp->d] = xp->kd;
        ++xp;
        QV_NEXT;
      n_occ_at: {  // OCC_PD, OCC_BIN: the element of the index's integer part, within its bounds
        const int64_t x = v[xp->a];
        const int xs = sc[xp->a];
        const int64_t n = xs == 0 ? x : xs > 18 ? 0 : x / kP10[xs];
        if (n < 1 || n > int64_t(r.occ_last[xp->dat])) [[unlikely]]
          QV_LEAVE;
        r.occ_at[xp->dat] = r.occ_base[xp->dat] + size_t(n - 1) * xp->f;
        ++xp;
        QV_NEXT;
      }
      n_to_fix: {  // into a fixed packed register: at its scale, within its digits
        const int64_t x = v[xp->a];
        uint64_t m = x < 0 ? uint64_t(0) - uint64_t(x) : uint64_t(x);
        if (!ii_shift64(m, xp->kd - sc[xp->a]) || m >= xp->f) [[unlikely]]
          QV_LEAVE;
        v[xp->d] = x < 0 ? -int64_t(m) : int64_t(m);
        sc[xp->d] = xp->kd;
        ++xp;
        QV_NEXT;
      }
      n_beg: {  // BEG LOOP of an inner loop, of integers (its control block written back: Run::write_blocks)
        const uint8_t i = xp->dat;
        if ((sc[xp->a] | sc[xp->b] | sc[xp->d]) != 0) [[unlikely]]
          QV_LEAVE;
        const int64_t from = v[xp->a], to_ = v[xp->b], st = v[xp->d];
        const int d = st < 0 ? -1 : 1;
        const int var = pl.inner[i].var;
        v[var] = from;
        sc[var] = 0;
        r.ito[i] = to_;
        r.istep[i] = st;
        r.idir[i] = d;
        r.began |= uint8_t(1u << i);
        ++g_inner;
        if ((from > to_) - (from < to_) == d) {  // none: on past its END LOOP
          r.active &= uint8_t(~(1u << i));
          xp = nodes + xp->to;
          QV_NEXT;
        }
        r.active |= uint8_t(1u << i);
        ++xp;
        QV_NEXT;
      }
      n_end_in: {  // its END LOOP: the next value, and back to its body, or past it at its end
        const uint8_t i = xp->dat;
        const int64_t sum = v[xp->a] + r.istep[i];
        if (!fits15(sum) || sc[xp->a] != 0) [[unlikely]]  // (the 16-byte path)
          QV_LEAVE;
        if ((sum > r.ito[i]) - (sum < r.ito[i]) == r.idir[i]) {
          r.active &= uint8_t(~(1u << i));
          ++xp;
          QV_NEXT;
        }
        if ((r.extra += int64_t(xp->f)) + since * per > r.room) [[unlikely]]  // the yield, before the END LOOP
          QV_YIELD(xp->exit);
        v[xp->a] = sum;
        xp = nodes + xp->to;
        QV_NEXT;
      }
      n_exit:
        QV_LEAVE;
      n_end: {
        int64_t sum = v[xp->a] + step;
        if (!fits15(sum) || sc[xp->a] != 0)  // (the 16-byte path)
          QV_LEAVE;
        ++iters;
        int c = (sum > to) - (sum < to);
        if (c == dir) {
          lb.back.reset();
          leave = xp->to;
          goto out;
        }
        v[xp->a] = sum;
        if (++since > cap) [[unlikely]]
          QV_YIELD(xp->top);
        xp = nodes;
        QV_NEXT;
      }
  }
#undef QV_DIV_SUM
#undef QV_MUL
#undef QV_MUL_SUM
#undef QV_SUM
#undef QV_LEAVE
#undef QV_YIELD
#undef QV_NEXT
out:
  r.mask = mask;
  r.write_back(pl.exits[leave], first && iters == 0 ? pl.exits[leave].keep : 0);
  set_count(s, uint32_t(std::min<int64_t>(base + since * per + r.extra, kIiYieldEvery + 1)));
  g_iterations += iters;
  *ran = iters;
  return ii_arena + pl.exits[leave].pc;
}

__attribute__((noinline)) uint8_t* enter(IlfState* s, uint8_t* end, uint8_t* back) {
  uint32_t key = off(end);
  Plan* found = find_plan(key);
  if (!found || found->back != off(back) || !same_code(*found)) {
    auto& m = plans();
    if (m.size() >= 1024) {
      m.clear();
      forget_hot();
    }
    Plan pl;
    ++g_builds;
    Built r = build(end, back, &pl);
    if (r == Built::NotYet) {
      if (m.erase(key)) forget_hot();
      end[3] = kWaitFirstRun;
      return back;
    }
    if (r == Built::Refused) {
      pl = Plan{};
      pl.refused = true;
      pl.end_pc = off(end);
      pl.back = off(back);
      if (back < end && end - back <= 4 * kIbBlockSize) copy_code(pl);
    }
    found = &m.insert_or_assign(key, std::move(pl)).first->second;
  }
  Plan& pl = *found;
  if (pl.refused) {
    end[3] = kWaitRefused;
    return back;
  }
  uint64_t ran = 0;
  uint8_t* next = run(pl, s, end_block(end), &ran, false);
  // A plan that cannot start, or leaves before a whole iteration time and
  // again, waits: the interpreter takes those iterations meanwhile.
  pl.misses = ran ? 0 : pl.misses + 1;
  if (!next || pl.misses >= 4) {
    pl.misses = 0;
    end[3] = kWaitNoEntry;
  }
  // An inner loop of a few iterations ends before its plan pays for the
  // entry's checks: while it keeps doing so, its back edges mostly go the
  // instructions' way.
  bool ended = next && ran && next == ii_adv(end, 8);
  pl.shorts = ended && ran < kShortRun ? pl.shorts + 1 : 0;
  if (pl.shorts >= 2) {
    pl.shorts = 0;
    end[3] = kWaitShort;
  }
  if (next && pl.firsts) {  // from now on BEG LOOP may run it too
    auto& beg = rec::view<IbBegLoop>(back - sizeof(IbBegLoop));
    if (off(back) >= sizeof(IbBegLoop) && beg.head.zero == 0 && (beg.head.op | 1) == 3 &&
        ii_at(reinterpret_cast<const uint8_t*>(&beg.exit)) == end + sizeof(IbEndLoop) &&  // (as ii_loop_begin finds it)
        ii_field(reinterpret_cast<const uint8_t*>(&beg.ira)) == end_block(end))
      beg.head.zero = 1;
  }
  return next ? next : back;
}

}  // namespace

// BEG LOOP's exit is past the END LOOP whose plan marked it (checked
// then); a plan gone, refused or of other code unmarks it (the END LOOP
// marks it again once its plan runs).
uint8_t* ii_loop_begin(IlfState* s, uint8_t* beg, uint8_t* blk, uint8_t* body) {
  auto& in = rec::view<IbBegLoop>(beg);
  uint8_t* end = ii_at(reinterpret_cast<const uint8_t*>(&in.exit)) - sizeof(IbEndLoop);
  Plan* found = find_plan(off(end));
  if (!found || found->refused || !found->firsts || found->back != off(body) || op_of(end) != 13 ||
      end_block(end) != blk || !same_code(*found)) {
    in.head.zero = 0;
    return body;
  }
  Plan& pl = *found;
  uint64_t ran = 0;
  uint8_t* next = run(pl, s, blk, &ran, true);  // (blk: the END LOOP's, checked above)
  pl.misses = ran ? 0 : pl.misses + 1;
  if (!next || pl.misses >= 4) {
    pl.misses = 0;
    in.head.zero = kWaitNoEntry;
  }
  if (!next) return body;
  ++g_firsts;
  // A loop of a few iterations, time and again, costs less on the
  // instructions than an entry's checks: BEG LOOP leaves it to them for a
  // while (its END LOOP does the same, by its own count).
  const bool ended = ran && next == end + sizeof(IbEndLoop);
  pl.shorts = ended && ran < kShortRun ? pl.shorts + 1 : 0;
  if (pl.shorts >= 2) {
    pl.shorts = 0;
    in.head.zero = kWaitShort;
  }
  return next;
}

uint8_t* ii_loop_enter(IlfState* s, uint8_t* end, uint8_t* back) { return enter(s, end, back); }

void ii_loop_set_plans(bool on) { ii_loop_plans_on = on; }

uint64_t ii_loop_plan_iterations() { return g_iterations; }
uint64_t ii_loop_plan_builds() { return g_builds; }
uint64_t ii_loop_plan_firsts() { return g_firsts; }
uint64_t ii_loop_plan_inner() { return g_inner; }
