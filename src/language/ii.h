// The instruction interpreter: event-point dispatch, the run loop and the
// small services every statement family shares.
//
// Running an event point. The wrappers (II_EXEC_PROC, _FRM, _IMG, _CHLD,
// _MISC) find the event point's entry (a code reference) and call
// II_EXEC_ANY, which fills the execution block and calls ii_exec. ii_exec
// builds the interpreter state on its own frame and calls the handler of
// each instruction's opcode (ii_inst_fns) until one sets bit 0 of the stop
// flag, or unwinds (ScopeUnwind) with a completion code. Whatever its frame
// holds (the trace entry, the GOSUB list, the open BEG READ list) is
// released on an unwind as on return.
//
// The loop, per instruction: one counter test (trace, debugger and the
// network-terminal yield share it: while trace and debugger are off it
// reaches zero once per 1001 instructions) and one indexed call through the
// table of every 16-bit opcode (one outside 0-780, a damaged block, reaches
// the default handler; no bound is checked). The instruction pointer stays
// in a register: a handler
// gets it and returns the next one. The counter lives in the state
// (s->tick), so that a handler may also run the next instruction itself by
// ending with ii_next: the same test and the same indexed call, made in tail
// position, so that it compiles to a jump and the next handler returns to
// the loop in its place. Frequent handlers (moves, tests, branches, NOP, the
// block chain) should end that way; while the slow path is due, ii_next
// hands the pointer back to the loop. Nothing is allocated per instruction.
//
// Handlers take (execution block, state, instruction pointer) and return the
// next instruction (ii_adv past themselves, or a branch target), or null:
//   ii_stop(s)   ends the event point after this instruction (stop flag bit 0);
//   ii_again(s)  goes on at s->pc after a service moved it (err_handler, the
//                debugger) or may have changed the debugger's control word;
// or they unwind (ScopeUnwind). While a handler runs, s->pc is its own
// address. A relocated operand is a Ref<uint8_t>: its address is one add
// (ii_at). An even opcode whose kind has relocatable operands runs ii_rloc
// first (ib.h (3)), once.
//
// Instruction trace: with QUVO_INST_TRACE naming a file, each event point
// writes "(%02d) %3.3s %30.30s - %d" and each instruction
// "%08X %5s -%-24s - %08X %08X %08X %08X" (its address, the truth-mask text,
// the opcode's name, address registers 1-4), addresses as arena offsets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/mm.h"
#include "foundation/record.h"
#include "foundation/ut.h"
#include "language/ib.h"

struct FmArb;
struct FmFdb;
struct Pcb;
struct EmHeader;

// The execution block: one per call, filled by II_EXEC_ANY.
struct IlfExecBlock {
  Pcb* pcb = nullptr;
  uint32_t entry = 0;         // code reference of the first instruction (block 65535: no code)
  uint32_t errors = 0;
  uint32_t warnings = 0;
  int16_t ep = 0;             // event point code
  uint32_t result_mask = 0x3FF;
  FmArb* msg1 = nullptr;      // receives warning and error records
  FmArb* msg2 = nullptr;
  uint32_t last = 0;
};

// A GOSUB return entry (from the interpreter pool) of a GOSUB nested
// deeper than the state holds in itself. At most kIiGosubDepth are open in
// one event point run: the GOSUB after them is run-time error
// 300420, so a recursion without end stops there, not at the arena's end.
constexpr uint32_t kIiGosubDepth = 1000;
struct IiGosub {
  UtLink link;
  Ref<uint8_t> ret;           // return address
  rec::U32 mask;              // the caller's truth mask
};
QV_RECORD(IiGosub, 16);

// Head of an open BEG READ entry (the file statements extend it): when the
// event point ends the entry is freed and the stream's word that refers to
// it (back) is cleared. loop: where the loop's body starts, the only place
// its END READ goes back to (the cursor's copy lies in a data area, which
// the code may overwrite).
struct IiReadEntry {
  UtLink link;
  Ref<rec::U32> back;
  Ref<uint8_t> loop;
};
QV_RECORD(IiReadEntry, 16);

// Links between planned steps. A step that goes on at one instruction
// every time (a CALC statement's plan, each way out of a compiled compare,
// a packed loop's step back into its body) keeps a link to what runs
// there, found once: the plan of that instruction (CALC, compare), or the
// link's own head (a loop's step); where nothing is planned it is the plain
// dispatch. Following it (ii_go) skips the dispatch and the look-up of
// the plan by the instruction's bytes. A link is only a shortcut: what it
// goes to must still be the one of the instruction at pc (a plan's number
// is given to another statement once all are taken; a loop's way back
// may lead elsewhere), else the link is looked for again.
struct IlfState;
struct IiPlanHead;
using IiRun = uint8_t* (*)(IlfExecBlock* b, IlfState* s, uint8_t* pc, const IiPlanHead& h);
// What a link goes to: a plan begins with it.
struct IiPlanHead {
  IiRun run = nullptr;
  uint32_t at = 0;    // its instruction's arena offset
  uint8_t kind = 0;   // a plan the step before it may run itself (iifld.h), else 0
};
// The head of no link (no instruction is at its offset).
inline constexpr IiPlanHead kIiUnlinked{nullptr, 0xFFFFFFFFu};
struct IiLink {
  const IiPlanHead* to = &kIiUnlinked;
  IiPlanHead self{};  // what to is when it is not a plan
  uint8_t tries = 8;  // looks left while it is not found (0: nothing is planned there)
};

// The interpreter state: one per ii_exec, on its frame.
struct IlfState {
  uint32_t go_ahead = 1;        // DEFINE instructions
  uint32_t mask = 0x3FF;        // truth mask, all five levels unset
  // The open GOSUBs (kIiGosubDepth at most): the first kGosubNear here, in
  // the order they were made, the deeper ones in the list.
  struct GosubRet {
    uint8_t* ret;               // the return address
    uint32_t mask;              // the caller's truth mask
  };
  static constexpr uint32_t kGosubNear = 16;
  GosubRet near[kGosubNear] = {};
  UtList gosub{};               // IiGosub entries past the first kGosubNear
  uint32_t gosubs = 0;          //   how many are open in all
  IiGosub* spare = nullptr;     //   entries RETURN gave back, chained by link.next, for the next GOSUB
  uint8_t* pc = nullptr;        // the current instruction
  uint8_t* addr[4] = {};        // address registers 1-4
  uint16_t len[4] = {};         // length registers 1-4
  alignas(16) uint8_t work[4][32] = {};  // scratch work values 1-4
  uint8_t stop = 0;             // bit 0 ends the loop after the current instruction (ii_stop)
  UtList reads{};               // IiReadEntry entries
  uint8_t* timeout_label = nullptr;
  int32_t timeout_secs = -1;
  uint8_t calc[30][32] = {};    // calculation stack
  uint32_t calc_count = 0;
  uint8_t* err_trap = nullptr;  // where a run-time error 300540 continues
  EmHeader* module = nullptr;   // the running module
  int32_t tick = 0;             // the loop's counter: instructions to start before its slow path
  int32_t armed = 0;            //   what it was set to
  uint32_t count = 0;           //   and the instructions started before that since the yield
  // The loops begun in this run: each loop control block with the body
  // start its BEG LOOP set. The block lies in a data area, which code may
  // write, so END LOOP goes back only to where its BEG LOOP said.
  struct LoopBack {
    uint8_t* blk;
    uint8_t* back;
  };
  static constexpr uint32_t kLoops = 52;  // a packed and a binary loop per letter
  struct LoopMemo;
  LoopBack last_loop{};
  LoopMemo* last_memo = nullptr;  //   the memo of last_loop's block (ii_loop_memo)
  LoopBack loops[kLoops] = {};
  uint32_t nloops = 0;
  // The last step of a packed loop of integers in binary: the variable's
  // bytes as END LOOP wrote them, STEP's and TO's as it read them, and their
  // values. The next step adds in binary while all three are still those
  // bytes (anything that wrote one of them sends it the long way). One per
  // loop control block of a few (nested loops keep theirs).
  struct LoopMemo {
    uint8_t* var;
    uint8_t* blk;
    uint64_t var_raw, step_raw, to_raw;
    int64_t v, step, to;
    IiLink link{};  // the step's way back into the body
  };
  static constexpr uint32_t kLoopMemos = 4;
  LoopMemo loop_memo[kLoopMemos] = {};
};
// BEG LOOP began the loop of block blk with its body at back; END LOOP
// checks that the block's back word is still that.
void ii_loop_begun(IlfState* s, uint8_t* blk, uint8_t* back);
bool ii_loop_back_ok(IlfState* s, uint8_t* blk, const uint8_t* back);

using IiFn = uint8_t* (*)(IlfExecBlock* b, IlfState* s, uint8_t* pc);

// The next instruction after one of len bytes (rounded up to 4).
inline uint8_t* ii_adv(uint8_t* pc, size_t len) { return pc + ((len + 3) & ~size_t(3)); }
// Ends the loop after the current instruction: bit 0 of the stop flag.
inline uint8_t* ii_stop(IlfState* s) {
  s->stop |= 1;
  return nullptr;
}
// Goes on at s->pc, looking at the debugger's control word again.
inline uint8_t* ii_again(IlfState*) { return nullptr; }

// The handler table: a slot per 16-bit opcode, those past 780 the default
// handler's (ii_set_op sets only 0-780).
constexpr size_t kIiSlots = 65536;
extern IiFn ii_inst_fns[kIiSlots];
// The default handler: system error "Missing II function " (II.C); the
// event point then ends.
uint8_t* inst_fns_err(IlfExecBlock* b, IlfState* s, uint8_t* pc);
// The opcode of the instruction at pc.
inline size_t ii_op(const uint8_t* pc) { return size_t(pc[0]) | size_t(pc[1]) << 8; }
// Runs the instruction at pc as the loop would, from the end of a handler:
// `return ii_next(b, s, ii_adv(pc, 12));` in place of `return ii_adv(pc,
// 12);`. Compiled with optimization the call is a jump to the next handler
// (no return to the loop, no call from it); unoptimized it nests, at most
// the 1001 instructions between two slow paths deep. When the counter says
// the slow path comes first (yield, trace, debugger), pc goes back to the
// loop instead, which is the same as the plain return. The call must be the
// handler's last act, with nothing of the handler's left to destroy after
// it (a local with a destructor keeps the call from becoming a jump).
[[gnu::always_inline]] inline uint8_t* ii_next(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  int32_t tick = s->tick - 1;
  if (tick <= 0) [[unlikely]] return pc;
  s->tick = tick;
  s->pc = pc;
  return ii_inst_fns[ii_op(pc)](b, s, pc);
}
// Links (see IiLink): the kinds register their finders by opcode; find
// sets l.to when the instruction at pc is planned (to the plan, or to
// l.self filled in), else leaves it.
using IiLinkFind = void (*)(uint8_t* pc, IiLink& l);
void ii_set_link_find(uint16_t op, IiLinkFind find);
// The link l to pc not found yet, or no more what runs at pc: looked for
// (a few times) and followed, else the instruction's handler.
uint8_t* ii_link_miss(IlfExecBlock* b, IlfState* s, uint8_t* pc, IiLink& l);
// Registers a handler for both opcodes of a kind (even and odd); the even
// slot relocates first (ii_rloc) when the kind has relocatable operands or a
// one-time hook. ii_set_op sets one slot.
void ii_set_pair(uint16_t even_op, IiFn fn);
void ii_set_op(uint16_t op, IiFn fn);
// The generic even-opcode handler (ib.h (3)).
uint8_t* ii_rloc(IlfExecBlock* b, IlfState* s, uint8_t* pc);

// The arena base, kept where the handlers reach it in one load.
extern uint8_t* ii_arena;
// A kind's plans, kept in place as the table grows (a link holds a plan's
// address): chunks of 32, each allocated when the table reaches it.
template <class T>
class IiPlans {
 public:
  static constexpr uint32_t kChunk = 32;
  T& operator[](uint32_t i) { return chunk_[i / kChunk][i % kChunk]; }
  uint32_t size() const { return n_; }
  void push_back(const T& v) {
    if (n_ % kChunk == 0) chunk_.push_back(std::make_unique<T[]>(kChunk));
    chunk_[n_ / kChunk][n_ % kChunk] = v;
    ++n_;
  }

 private:
  std::vector<std::unique_ptr<T[]>> chunk_;
  uint32_t n_ = 0;
};
// ii_next from a step that keeps the link l to pc: the same counter test,
// then what the link goes to.
// ii_go whose linked step runs as then(h) (ii_go: h.run(b, s, pc, h)).
template <class Then>
[[gnu::always_inline]] inline uint8_t* ii_go_then(IlfExecBlock* b, IlfState* s, uint8_t* pc, IiLink& l, Then then) {
  int32_t tick = s->tick - 1;
  if (tick <= 0) [[unlikely]] return pc;
  s->tick = tick;
  s->pc = pc;
  const IiPlanHead& h = *l.to;
  if (h.at == uint32_t(pc - ii_arena)) [[likely]] return then(h);
  if (l.tries == 0) return ii_inst_fns[ii_op(pc)](b, s, pc);  // nothing planned there
  return ii_link_miss(b, s, pc, l);
}
[[gnu::always_inline]] inline uint8_t* ii_go(IlfExecBlock* b, IlfState* s, uint8_t* pc, IiLink& l) {
  return ii_go_then(b, s, pc, l, [=](const IiPlanHead& h) __attribute__((always_inline)) { return h.run(b, s, pc, h); });
}
// The memo of the loop of control block blk (the blocks, 28 bytes each,
// lie side by side, one a letter: nested loops take different memos). Its
// blk is that block only once BEG LOOP or a step has set it.
inline IlfState::LoopMemo& ii_loop_memo(IlfState* s, const uint8_t* blk) {
  return s->loop_memo[uint32_t(blk - ii_arena) / 28 % IlfState::kLoopMemos];
}
// The address a relocated operand at p refers to (a little-endian Ref).
inline uint8_t* ii_ref(const uint8_t* p) {
  uint32_t off = rec::view<rec::U32>(const_cast<uint8_t*>(p)).get();
  return off ? ii_arena + off : nullptr;
}
// The same for an operand that relocation has made non-null (a code
// reference other than "no code", a field index, a constant).
inline uint8_t* ii_at(const uint8_t* p) {
  return ii_arena + rec::view<rec::U32>(const_cast<uint8_t*>(p)).get();
}

// ------------------------------------------------------------ start-up --
// Statement families, in the order ii_init calls their inits; a later init
// overwrites a slot that an earlier one set.
enum class IiFamily { Fi, Img, Tst, Math, Cnv, Misc, Ctl, Util, Date, Fld, Count };
void ii_set_family_init(IiFamily family, void (*init)());
// Plugs the interpreter into the program entry (OsInit::Ii) and the runner
// (proc_svc.ii_proc_exec).
void ii_register();
// Engine start (after sc_init): the trace file, the pool " IIPOOL    ", the
// IFNS and ERROR DISPLAY files, the handler table, the TRAP switch. 1, or 0
// after the system error.
int ii_init();
// The instruction trace (tests): null closes it.
void ii_set_trace(FILE* f);
// Whether the trace or the debugger looks at every instruction.
bool ii_slow_mode();
// The loop yields (ss_yield) once the instructions started since the last
// yield pass this.
constexpr int kIiYieldEvery = 1000;

// Internal functions callable by name (CALL): they register from the layers
// above; IFNS holds each one's index.
using IiIntFn = int32_t (*)(const uint32_t* args);  // args[0] the count
int ii_register_ifn(const char* name, IiIntFn fn);
IiIntFn ii_ifn(uint32_t index);
// The function registered under a name (compared blank-padded to 22
// characters), or null.
IiIntFn ii_find_ifn(const char* name);

// The removal of DEFINEd items at the start of event point 25 (End of
// Frame); the dynamic-items family fills it.
void ii_set_undef_hook(void (*undef_all)(Pcb* pcb));

// ------------------------------------------------------------ running --
// Entry of process event point ep (1-11) from the module header.
int II_EXEC_PROC(Pcb* pcb, int ep, IlfExecBlock* b);
// Entries of a compiled frame (event points 21-25, from byte 108), image
// (41-44, byte 160) and child invocation (61-62, byte 168).
int II_EXEC_FRM(Pcb* pcb, const uint8_t* cfrm, int ep, IlfExecBlock* b);
int II_EXEC_IMG(Pcb* pcb, const uint8_t* cimg, int ep, IlfExecBlock* b);
int II_EXEC_CHLD(Pcb* pcb, const uint8_t* cchld, int ep, IlfExecBlock* b);
int II_EXEC_MISC(Pcb* pcb, int ep, IlfExecBlock* b, uint32_t entry);
// 0 without running when the entry's block is 65535; else runs it, 1.
int II_EXEC_ANY(Pcb* pcb, int ep, IlfExecBlock* b);
// The runner's and the file events' call: arg is a PiEpArg (services.h).
void ii_proc_exec(void* arg);
void ii_exec(IlfExecBlock* b);
// Leaving an event point: the debugger's current statement becomes none and
// the open BEG READ entries are released.
void ii_end_ep(IlfExecBlock* b, IlfState* s);
// The run-time error handler: 0 when it moved the instruction pointer (an
// error trap, or the debugger; the handler then returns ii_again(s));
// otherwise it unwinds with 300540, or with 4 after CANCEL in the debugger
// (OPTION of the status record 278).
int err_handler(IlfState* s, IlfExecBlock* b, uint32_t msg);

// ----------------------------------------------------- shared services --
// Writes a warning (kind 1) or error (other) record to the PCB's message
// file: label, " - ", the text, trimmed, at most 80 characters; counts it in
// the status record. System error "add_wrn_err() - message write failed".
void add_wrn_err(Pcb* pcb, const char* text, size_t len, int kind);
// The mini data-entry screen: the message and the file's identity in a
// small window until CANCEL or ENTER; true after CANCEL. The window is at
// most the screen's columns less 2 wide, the text cut to fit.
bool mini_scr(IlfExecBlock* b, uint32_t msg, const FmFdb* file);
// Shows a text through an ERROR DISPLAY record with the runtime's error
// display (services.h rt_err).
void tmp_scr(IlfExecBlock* b, const char* text, size_t len);
// The five-character text of a truth mask (one static buffer).
const char* tf_msk_to_str(uint32_t mask);

// Opens the ELEMENT dictionary file of an application (version "00" for the
// system applications) in the current recovery scope, read-only. The handle,
// or null with the file manager's status left in the current system-error
// text (the caller reports it).
FmArb* ii_open_delem_fi(const char* app, const char* ver);
