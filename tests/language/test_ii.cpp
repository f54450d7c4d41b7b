// The interpreter on hand-assembled code: inst_alloc and block chaining,
// dispatch and the wrappers, relocation, yields, the run-time error handler,
// the debugger's stop rules and control word, TOC and TRAP records, message
// records and the trace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "foundation/ssunix.h"
#include "language/ii_asm.h"
#include "support/syserr.h"

using iitest::Module;

namespace {

// Test handlers live in slots no family uses here.
constexpr uint16_t kOpMark = 100;   // 8 bytes: u32 tag at 4; records the tag
constexpr uint16_t kOpRaise = 102;  // 8 bytes: u32 message at 4; err_handler
constexpr uint16_t kOpNest = 104;   // 8 bytes: u32 entry at 4; runs a nested event point
constexpr uint16_t kOpHold = 106;   // 8 bytes: u32 back word at 4; puts a GOSUB and a BEG READ entry

std::vector<uint32_t> g_marks;
int g_nested_result = -1;

uint8_t* h_mark(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  g_marks.push_back(rec::view<rec::U32>(pc + 4));
  s->addr[0] = pc;  // something the state holds
  s->mask = 0x155;
  return ii_adv(pc, 8);
}
uint8_t* h_raise(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint32_t msg = rec::view<rec::U32>(pc + 4);
  if (err_handler(s, b, msg) == 0) return ii_again(s);
  return ii_adv(pc, 8);
}
uint8_t* h_nest(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  uint8_t* before_addr = s->addr[0];
  uint32_t before_mask = s->mask;
  IlfExecBlock inner;
  g_nested_result = II_EXEC_MISC(b->pcb, 21, &inner, rec::view<rec::U32>(pc + 4));
  EXPECT_EQ(s->addr[0], before_addr);
  EXPECT_EQ(s->mask, before_mask);
  EXPECT_EQ(s->pc, pc);
  return ii_adv(pc, 8);
}
uint32_t* g_back = nullptr;
IiGosub* g_gosub = nullptr;
IiReadEntry* g_read = nullptr;
uint8_t* h_hold(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  MmPool pool = mm_create_pool(" IIPOOL    ", 0, 0);
  g_gosub = static_cast<IiGosub*>(MM_ALLOC(pool, sizeof(IiGosub)));
  ut_add_to_lst(&s->gosub, g_gosub, &g_gosub->link);
  g_read = static_cast<IiReadEntry*>(MM_ALLOC(pool, sizeof(IiReadEntry)));
  g_read->back.set(reinterpret_cast<rec::U32*>(g_back));
  ut_add_to_lst(&s->reads, g_read, &g_read->link);
  return ii_adv(pc, 8);
}
// Test forms of the constant load (52/53) and the error trap (24/25): the
// relocated operand into register 1, or the trap address.
int g_cnst_hooks = 0;
uint8_t* h_cnst(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->addr[0] = ii_ref(pc + 4);
  g_marks.push_back(0xC0);
  return ii_adv(pc, 8);
}
uint8_t* h_overflow(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->err_trap = ii_ref(pc + 4);
  return ii_adv(pc, 8);
}
uint8_t* h_return(IlfExecBlock*, IlfState*, uint8_t* pc) { return ii_adv(pc, 4); }

int g_yields = 0;

CodeRef cr(uint16_t block, uint16_t offset) {
  CodeRef r;
  r.block = block;
  r.offset = offset;
  return r;
}

class Ii : public ::testing::Test {
 protected:
  Module m;
  void SetUp() override {
    bi_init_com();
    fms_init();
    proc_services_reset();
    ii_set_trace(nullptr);
    ASSERT_EQ(ii_init(), 1);
    ii_set_pair(kOpMark, h_mark);
    ii_set_pair(kOpRaise, h_raise);
    ii_set_pair(kOpNest, h_nest);
    ii_set_pair(kOpHold, h_hold);
    ib_set_hook(52, [](EmHeader*, uint8_t*) { ++g_cnst_hooks; });
    ii_set_pair(52, h_cnst);
    ii_set_pair(24, h_overflow);
    ii_set_pair(30, h_return);
    g_marks.clear();
    g_cnst_hooks = 0;
    m.build();
  }
  void TearDown() override {
    ib_set_hook(52, nullptr);
    ii_set_undef_hook(nullptr);
    ii_set_trace(nullptr);
    proc_services_reset();
    com.net_socket = 0;
    ss_set_ping(nullptr);
    fm_shutdown();
    m.destroy();
  }
  CodeRef mark(uint32_t tag, uint8_t flags = 0) {
    CodeRef at;
    uint8_t* p = m.emit(kOpMark, 8, &at);
    rec::view<IbInst>(p).flags = flags;
    rec::view<rec::U32>(p + 4) = tag;
    return at;
  }
  CodeRef raise(uint32_t msg) {
    CodeRef at;
    uint8_t* p = m.emit(kOpRaise, 8, &at);
    rec::view<rec::U32>(p + 4) = msg;
    return at;
  }
  CodeRef end() { return m.op4(10); }
  // Runs code at r as event point ep inside a scope; the scope's result.
  int run(CodeRef r, int ep = 21, IlfExecBlock* out = nullptr) {
    IlfExecBlock b;
    int rc = mark_scope([&] { II_EXEC_MISC(m.pcb, ep, &b, Module::word(r)); });
    if (out) *out = b;
    return rc;
  }
  template <class F>
  int mark_scope(F&& f) {
    return ::mark(0, [&] { f(); });
  }
};

// ------------------------------------------------------------ inst_alloc --
TEST_F(Ii, InstAllocFillsToByte2016AndChainsBlocks) {
  // 6 bytes reserve 8, the first 4 zero.
  std::memset(m.code.storage, 0xAA, 16);
  CodeRef a;
  uint8_t* p = m.emit(0, 6, &a);
  EXPECT_EQ(p, m.code.storage);
  EXPECT_EQ(rec::view<rec::U32>(p + 0), 0u);
  EXPECT_EQ(p[4], 0xAA);
  EXPECT_EQ(m.code.offset, 8);
  EXPECT_EQ(a.block, 1);
  EXPECT_EQ(a.offset, 0);
  // One ending exactly at 2016 stays.
  m.emit(466, 2000);
  CodeRef last;
  m.emit(466, 8, &last);
  EXPECT_EQ(last.block, 1);
  EXPECT_EQ(last.offset, 2008);
  EXPECT_EQ(m.code.offset, 2016);
  // One byte more moves to block 2 behind an 8-byte RLOC_BNB.
  CodeRef moved;
  m.emit(466, 1, &moved);
  EXPECT_EQ(moved.block, 2);
  EXPECT_EQ(moved.offset, 0);
  auto& bnb = rec::view<IbBnb>(MADDR(m.em->inst.get(), 1) + 2016);
  EXPECT_EQ(bnb.head.op, 464);
  EXPECT_EQ(bnb.next.block, 2);
  EXPECT_EQ(bnb.next.offset, 0);
}

TEST_F(Ii, EventPointOverThreeBlocksRunsEachInstructionOnceInOrder) {
  CodeRef start = mark(0);
  for (uint32_t i = 1; i < 600; ++i) mark(i);
  end();
  ASSERT_EQ(m.code.block, 3);
  EXPECT_EQ(run(start), 1);
  ASSERT_EQ(g_marks.size(), 600u);
  for (uint32_t i = 0; i < 600; ++i) ASSERT_EQ(g_marks[i], i);
  // A native pointer maps back to (block, offset).
  CodeRef c;
  ASSERT_TRUE(ib_pc_to_code(m.em, m.at(cr(2, 16)), &c));
  EXPECT_EQ(c.block, 2);
  EXPECT_EQ(c.offset, 16);
  // A code reference at the bounds of a block and of the code, and one past.
  EXPECT_EQ(ib_code_to_pc(m.em, cr(3, 2023)), m.at(cr(3, 0)) + 2023);
  EXPECT_EQ(ib_code_to_pc(m.em, cr(3, 2024)), nullptr);
  EXPECT_EQ(ib_code_to_pc(m.em, cr(4, 0)), nullptr);
  EXPECT_EQ(ib_code_to_pc(m.em, cr(0, 0)), nullptr);
}

TEST_F(Ii, FailedAppendIsASystemError) {
  SysErrCapture cap(SysErrAnswer::Continue);
  m.emit(466, 2016);
  FmArb* inst = m.em->inst.get();
  ASSERT_EQ(FM_CLOSE(inst, 0), 1);
  EXPECT_EQ(inst_alloc(4, nullptr, &m.code), nullptr);
  ASSERT_GE(cap.count(), 1u);
  EXPECT_EQ(cap.log().back().module, "SC.C");
  EXPECT_NE(cap.last().find("instructions file write failed"), std::string::npos);
}

// ------------------------------------------------------------- dispatch --
TEST_F(Ii, ProcessEventPointsRunFromTheHeader) {
  CodeRef ep1 = mark(1);
  end();
  CodeRef ep6 = mark(6);
  end();
  m.proc_ep(1, ep1);
  m.proc_ep(6, ep6);
  IlfExecBlock b;
  EXPECT_EQ(II_EXEC_PROC(m.pcb, 1, &b), 1);
  EXPECT_EQ(m.em->cur_ep, 1);
  EXPECT_EQ(II_EXEC_PROC(m.pcb, 6, &b), 1);
  EXPECT_EQ(m.em->cur_ep, 6);  // header byte 1340
  EXPECT_EQ(g_marks, (std::vector<uint32_t>{1, 6}));
  EXPECT_EQ(b.result_mask, 0x155u);  // END left the running mask
  // The runner's entry.
  proc_svc.ii_proc_exec = ii_proc_exec;
  PiEpArg arg{m.pcb, 6, -1};
  proc_svc.ii_proc_exec(&arg);
  EXPECT_EQ(arg.result, 1);
  arg = {m.pcb, 2, -1};  // no code
  proc_svc.ii_proc_exec(&arg);
  EXPECT_EQ(arg.result, 0);
}

std::vector<int> g_trace_flags;
TEST_F(Ii, NoCodeReturnsZeroUntraced) {
  FILE* t = std::tmpfile();
  ii_set_trace(t);
  g_trace_flags.clear();
  os_set_trace_hook([](int flags, int level, uint32_t msg, void*, void*) {
    g_trace_flags.push_back(flags);
    EXPECT_EQ(msg, flags == 3078 ? 600300u : 602500u);
    return level + 1;
  });
  IlfExecBlock b;
  b.errors = 5;
  b.warnings = 7;
  EXPECT_EQ(II_EXEC_MISC(m.pcb, 23, &b, 0xFFFFu), 0);
  EXPECT_EQ(b.errors, 0u);
  EXPECT_EQ(b.warnings, 0u);
  EXPECT_EQ(std::ftell(t), 0);
  EXPECT_TRUE(g_trace_flags.empty());
  // With code: a process trace entry opened and closed, also on an unwind.
  CodeRef r = end();
  EXPECT_EQ(run(r), 1);
  EXPECT_EQ(g_trace_flags, (std::vector<int>{3078, 2310}));
  CodeRef u = raise(300540);
  EXPECT_EQ(run(u), 300540);
  EXPECT_EQ(g_trace_flags, (std::vector<int>{3078, 2310, 3078, 2310}));
  // Event points above 62 (query and selection code) open none.
  EXPECT_EQ(run(r, 82), 1);
  EXPECT_EQ(g_trace_flags.size(), 4u);
  os_set_trace_hook(nullptr);
  std::fclose(t);
  ii_set_trace(nullptr);
}

int g_undefs = 0;
// The items a frame defined at run time go at its end, whether or not End
// of Frame has code (left, they would outlive their image's region).
TEST_F(Ii, EndOfFrameRemovesDefinedItemsWithOrWithoutCode) {
  ii_set_undef_hook([](Pcb*) { ++g_undefs; });
  g_undefs = 0;
  uint8_t cfrm[140] = {};
  for (int ep = 21; ep <= 25; ++ep) rec::view<rec::U32>(cfrm + 108 + 4 * (ep - 21)) = 0xFFFFu;
  IlfExecBlock b;
  EXPECT_EQ(II_EXEC_FRM(m.pcb, cfrm, 25, &b), 0);
  EXPECT_EQ(g_undefs, 1);
  CodeRef code = end();
  rec::view<rec::U32>(cfrm + 108 + 16) = Module::word(code);
  EXPECT_EQ(II_EXEC_FRM(m.pcb, cfrm, 25, &b), 1);
  EXPECT_EQ(g_undefs, 2);
  // Another event point of the frame leaves them.
  rec::view<rec::U32>(cfrm + 108) = Module::word(code);
  EXPECT_EQ(II_EXEC_FRM(m.pcb, cfrm, 21, &b), 1);
  EXPECT_EQ(g_undefs, 2);
}

TEST_F(Ii, UnregisteredOpcodesReachTheDefaultHandler) {
  for (uint16_t op : {28, 86, 760, 781, 9999, 65535}) {  // (781: the first past the opcodes)
    SCOPED_TRACE(op);
    SysErrCapture cap(SysErrAnswer::Continue);
    CodeRef r = m.op4(op);
    end();
    EXPECT_EQ(run(r), 1);
    ASSERT_EQ(cap.count(), 1u);
    EXPECT_EQ(cap.log()[0].text, "Missing II function ");
    EXPECT_EQ(cap.log()[0].module, "II.C");
  }
  // Answered CANCEL, the system error unwinds.
  SysErrCapture cap(SysErrAnswer::Cancel);
  CodeRef r = m.op4(760);
  EXPECT_EQ(run(r), 3);
}

TEST_F(Ii, RelocationHappensOnceAndConstantsReachFileAndCommonBlock) {
  // Constant records 1 .. 64999.
  FmArb* cn = m.em->cnst.get();
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* rec = static_cast<uint8_t*>(MM_ALLOC(pool, 8));
  cn->rec.set(rec);
  for (uint32_t i = 1; i <= 64999; ++i) {
    rec::view<rec::U32>(rec) = i;
    cn->rec_len = 8;
    ASSERT_EQ(fm_write(cn), 1);
  }
  CodeRef start;
  uint8_t* c1 = m.emit(52, 8, &start);
  rec::view<rec::U32>(c1 + 4) = 64999;
  uint8_t* c2 = m.emit(52, 8);
  rec::view<rec::U32>(c2 + 4) = 65000;
  end();
  EXPECT_EQ(m.em->code_relocated, 0);
  EXPECT_EQ(run(start), 1);
  EXPECT_EQ(m.em->code_relocated, 1);
  EXPECT_EQ(rec::view<IbInst>(c1).op, 53);
  EXPECT_EQ(rec::view<IbInst>(c2).op, 53);
  EXPECT_EQ(ii_ref(c1 + 4), MADDR(cn, 64999));
  EXPECT_EQ(rec::view<rec::U32>(ii_ref(c1 + 4)), 64999u);
  EXPECT_EQ(ii_ref(c2 + 4), reinterpret_cast<uint8_t*>(&com));
  EXPECT_EQ(run(start), 1);
  EXPECT_EQ(g_cnst_hooks, 2);  // once per instruction, not per run
  EXPECT_EQ(g_marks.size(), 4u);
  mm_destroy_pool(pool);
}

TEST_F(Ii, NestedEventPointLeavesTheOuterStateIntact) {
  CodeRef inner = m.op4(466);
  mark(99);
  end();
  CodeRef outer = mark(1);
  uint8_t* n = m.emit(kOpNest, 8);
  rec::view<rec::U32>(n + 4) = Module::word(inner);
  mark(2);
  end();
  g_nested_result = -1;
  EXPECT_EQ(run(outer, 23), 1);
  EXPECT_EQ(g_nested_result, 1);
  EXPECT_EQ(g_marks, (std::vector<uint32_t>{1, 99, 2}));
  EXPECT_EQ(m.em->cur_ep, 21);  // the nested one was the last to start
}

TEST_F(Ii, TwentyFiveHundredInstructionsYieldThreeTimes) {
  com.net_socket = 1;
  g_yields = 0;
  ss_set_ping([] {
    ++g_yields;
    return true;
  });
  CodeRef start = m.op4(466);
  for (int i = 1; i < 2495; ++i) m.op4(466);
  end();
  ASSERT_EQ(m.code.block, 5);  // 2496 instructions and 4 chains: 2500
  EXPECT_EQ(run(start), 1);
  EXPECT_EQ(g_yields, 3);
}

// ------------------------------------------------------------ err_handler --
TEST_F(Ii, RuntimeErrorWithATrapContinuesThere) {
  CodeRef start;
  uint8_t* ov = m.emit(24, 8, &start);
  CodeRef bad = raise(300540);
  mark(1);  // skipped
  CodeRef trap = mark(2);
  end();
  (void)bad;
  rec::view<CodeRef>(ov + 4) = trap;
  EXPECT_EQ(run(start), 1);
  EXPECT_EQ(g_marks, (std::vector<uint32_t>{2}));
  // Another message ignores the trap.
  CodeRef s2;
  uint8_t* ov2 = m.emit(24, 8, &s2);
  raise(300370);
  mark(3);
  rec::view<CodeRef>(ov2 + 4) = trap;
  g_marks.clear();
  EXPECT_EQ(run(s2), 300540);
  EXPECT_TRUE(g_marks.empty());
}

TEST_F(Ii, UnhandledErrorUnwindsAndReleasesTheFrame) {
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  g_back = static_cast<uint32_t*>(MM_ALLOC(pool, 4));
  *g_back = 77;
  CodeRef start;
  uint8_t* h = m.emit(kOpHold, 8, &start);
  (void)h;
  raise(300410);
  end();
  m.pcb->dbg.set(static_cast<PcbDbg*>(MM_ALLOC(pool, sizeof(PcbDbg))));
  EXPECT_EQ(run(start), 300540);
  EXPECT_EQ(*g_back, 0u);                      // the stream's link cleared
  EXPECT_EQ(m.pcb->dbg->stmt_block, -1);       // no current statement
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(mm_free(g_gosub), 0);              // already given back
  EXPECT_EQ(mm_free(g_read), 0);
  mm_destroy_pool(pool);
}

int g_dbg_calls = 0;
TEST_F(Ii, DebuggerCancelAtAnErrorGivesOption278AndCode4) {
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  m.pcb->dbg.set(static_cast<PcbDbg*>(MM_ALLOC(pool, sizeof(PcbDbg))));
  proc_svc.dbg_init = [](Pcb*, int mode) { return mode == 1; };
  g_dbg_calls = 0;
  proc_svc.dbg_stmt = [](IlfExecBlock* b, void*, int* option) {
    ++g_dbg_calls;
    EXPECT_EQ(b->pcb->dbg->err_pending, 1u);
    EXPECT_EQ(b->pcb->dbg->err_msg, 300370u);
    *option = g_dbg_calls < 3 ? 100 : 278;  // show again twice, then CANCEL
    return true;
  };
  CodeRef start = raise(300370);
  end();
  EXPECT_EQ(run(start), 4);
  EXPECT_EQ(g_dbg_calls, 3);
  EXPECT_EQ(m.status->option, 278);
  EXPECT_EQ(m.pcb->dbg->err_pending, 0u);
  // A debugger that clears the error state has moved on: the code goes on.
  proc_svc.dbg_stmt = [](IlfExecBlock* b, void* st, int* option) {
    b->pcb->dbg->err_pending = 0;
    auto* s = static_cast<IlfState*>(st);
    s->pc = ii_adv(s->pc, 8);  // past the failing instruction
    *option = 0;
    return true;
  };
  CodeRef s2 = raise(300370);
  mark(5);
  end();
  EXPECT_EQ(run(s2), 1);
  EXPECT_EQ(g_marks, (std::vector<uint32_t>{5}));
  mm_destroy_pool(pool);
}

// -------------------------------------------------------------- debugger --
std::vector<uint32_t> g_stops;
// Notes where the debugger stopped: the mark's tag, else 1000 + the opcode.
void note_stop(void* st) {
  auto* s = static_cast<IlfState*>(st);
  uint16_t op = rec::view<IbInst>(s->pc).op;
  g_stops.push_back(op == kOpMark || op == kOpMark + 1 ? rec::view<rec::U32>(s->pc + 4).get() : 1000u + op);
}
TEST_F(Ii, DebuggerStopRules) {
  proc_svc.dbg_init = [](Pcb*, int) { return true; };
  g_stops.clear();
  // The scripted debugger notes where it stopped (the mark's tag) and keeps
  // stepping until it sees tag 3, where it asks to run to the end.
  proc_svc.dbg_stmt = [](IlfExecBlock*, void* st, int* option) {
    note_stop(st);
    if (g_stops.back() == 3) {
      dbg_ctl(6);
      dbg_ctl(7);
    }
    *option = 0;
    return true;
  };
  CodeRef start = mark(1, kIbStmt);
  mark(2, 0);                        // not a statement start: never stops
  m.op4(450, kIbStmt);               // a TRAP statement: stepping passes it
  mark(3, kIbStmt);
  mark(4, kIbStmt);                  // run to end: no stop
  m.op4(450, kIbStmt | kIbBreak);    // breakpoint on TRAP: not by rule 5
  m.op4(10, kIbStmt);                // END: run to end stops
  dbg_ctl(11);                       // stop at the next statement
  EXPECT_EQ(run(start), 1);
  EXPECT_EQ(g_stops, (std::vector<uint32_t>{1, 3, 1010}));
  EXPECT_EQ(com.dbg_ctl_bits & kDbgRunToEnd, 0u);
  dbg_ctl(6);

  // Breakpoints (rule 5) and the one-shot bit (rule 1), with only bit 24 on.
  g_stops.clear();
  dbg_ctl(14);
  CodeRef s2 = mark(11, kIbStmt);
  mark(12, kIbStmt | kIbBreak);
  CodeRef one = mark(13, kIbStmt | kIbOneShot);
  mark(14, kIbStmt);
  m.op4(30, kIbStmt);
  m.op4(10);
  proc_svc.dbg_stmt = [](IlfExecBlock*, void* st, int* option) {
    note_stop(st);
    dbg_ctl(6);   // no more stepping
    if (g_stops.back() == 13) dbg_ctl(9);  // step out at the RETURN
    *option = 0;
    return true;
  };
  EXPECT_EQ(run(s2), 1);
  EXPECT_EQ(g_stops, (std::vector<uint32_t>{12, 13, 1030}));
  EXPECT_EQ(m.at(one)[2] & kIbOneShot, 0);  // cleared when reached
  EXPECT_EQ(com.dbg_ctl_bits & kDbgStepOut, 0u);

  // A changed watch stops anywhere.
  g_stops.clear();
  proc_svc.dbg_chk_watches = [](Pcb*) { return true; };
  CodeRef s3 = mark(21);
  m.op4(10);
  EXPECT_EQ(run(s3), 1);
  EXPECT_EQ(g_stops, (std::vector<uint32_t>{21, 1010}));
}

TEST_F(Ii, TrapStopsOnlyWhenSwitchedOn) {
  int calls = 0;
  static int* pc = nullptr;
  pc = &calls;
  proc_svc.dbg_init = [](Pcb*, int) { return true; };
  proc_svc.dbg_stmt = [](IlfExecBlock*, void*, int* option) {
    ++*pc;
    *option = 278;
    return true;
  };
  CodeRef start = m.op4(450);
  mark(1);
  end();
  com.traps_off = 1;
  EXPECT_EQ(run(start), 1);
  EXPECT_EQ(calls, 0);
  com.traps_off = 0;
  EXPECT_EQ(run(start), 4);  // CANCEL in the debugger
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(m.status->option, 278);
  com.traps_off = 1;
}

TEST_F(Ii, DbgCtlOperations) {
  com.dbg_ctl_bits = 0;
  dbg_ctl(5);
  EXPECT_EQ(com.dbg_ctl_bits, kDbgStep | kDbgStepProc);
  dbg_ctl(6);
  EXPECT_EQ(com.dbg_ctl_bits, kDbgStepProc);
  dbg_ctl(7);
  dbg_ctl(9);
  EXPECT_EQ(com.dbg_ctl_bits, kDbgStepProc | kDbgRunToEnd | kDbgStepOut);
  dbg_ctl(8);
  dbg_ctl(10);
  EXPECT_EQ(com.dbg_ctl_bits, kDbgStepProc);
  dbg_ctl(11);
  dbg_ctl(13);
  dbg_ctl(14);
  EXPECT_EQ(com.dbg_ctl_bits, kDbgStepProc | kDbgNextStmt | kDbgBit18 | kDbgBit24);
  dbg_ctl(12);
  dbg_ctl(15);
  EXPECT_EQ(com.dbg_ctl_bits, kDbgStepProc);
  com.dbg_ctl_bits = 0xFFFFFFFFu;
  dbg_ctl(3);
  EXPECT_EQ(com.dbg_ctl_bits, 0xFFFFFF00u);
  // Push and pop.
  com.dbg_ctl_bits = 0x1234;
  dbg_ctl(1);
  com.dbg_ctl_bits = 0;
  dbg_ctl(2);
  EXPECT_EQ(com.dbg_ctl_bits, 0x1234u);
  dbg_ctl(2);  // empty: nothing changes
  EXPECT_EQ(com.dbg_ctl_bits, 0x1234u);
  EXPECT_EQ(com.dbg_sp, 0);
  for (int op : {0, 4, 16, -1}) {
    SysErrCapture cap(SysErrAnswer::Continue);
    dbg_ctl(op);
    ASSERT_EQ(cap.count(), 1u);
    EXPECT_EQ(cap.last(), "Bad op parameter in dbg_ctl()");
    EXPECT_EQ(com.dbg_ctl_bits, 0x1234u);
  }
}

TEST_F(Ii, DbgCtlStackPastItsEnd) {
  const uint8_t after = com.date_pivot;
  const uint32_t before = 0xBEEF;
  com.dbg_ctl_bits = before;
  for (uint32_t i = 0; i < 300; ++i) {
    dbg_ctl(1);
    com.dbg_ctl_bits = i + 1;
  }
  EXPECT_EQ(com.dbg_sp, 300);
  EXPECT_EQ(com.date_pivot, after);  // nothing written beyond the stack
  for (int i = 0; i < 300; ++i) dbg_ctl(2);
  EXPECT_EQ(com.dbg_ctl_bits, before);
  EXPECT_EQ(com.dbg_sp, 0);
}

// ------------------------------------------------------ TOC and TRAP --
TEST_F(Ii, TocAndTrapRecords) {
  IbToc toc;
  // Comment-only: three statements without code.
  ASSERT_EQ(ib_toc_open(m.em, &toc, 21, 0, 3), 1);
  for (uint32_t seq : {100u, 200u, 300u}) ASSERT_EQ(ib_put_trap(m.em, cr(0, 0), seq, 21, 0), 1);
  ASSERT_EQ(ib_toc_close(m.em, &toc), 1);
  EXPECT_EQ(toc.first_trap, 0u);
  EXPECT_EQ(toc.last_trap, 2u);
  // Empty.
  ASSERT_EQ(ib_toc_open(m.em, &toc, 22, 1, 3), 1);
  ASSERT_EQ(ib_toc_close(m.em, &toc), 1);
  EXPECT_EQ(toc.first_trap, 3u);
  EXPECT_EQ(toc.last_trap, 2u);
  EXPECT_EQ(m.em->toc_count, 2u);
  EXPECT_EQ(m.em->trap_count, 3u);
  auto* rec = MADDR(m.em->toc.get(), 2);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec::view<IbToc>(rec).ep, 22);
  EXPECT_EQ(rec::view<IbToc>(rec).last_trap, 2u);
  // The debugger's order compares (block, offset), not the stored word.
  IbTrap t[2];
  std::memset(t, 0, sizeof t);
  t[0].addr = cr(2, 8);
  t[1].addr = cr(1, 1000);
  EXPECT_LT(Module::word(cr(2, 8)), Module::word(cr(1, 1000)));
  ib_sort_traps(t, 2);
  EXPECT_EQ(t[0].addr.block, 1);
  EXPECT_EQ(t[1].addr.block, 2);
}

// ----------------------------------------------------- shared services --
TEST_F(Ii, WarningAndErrorRecords) {
  com.error_label.set("ERROR");
  com.error_len = 5;
  com.warning_label.set("WARNING");
  com.warning_len = 7;
  std::string long_text(120, 'x');
  add_wrn_err(m.pcb, long_text.data(), long_text.size(), 2);
  add_wrn_err(m.pcb, "short   ", 8, 1);
  EXPECT_EQ(m.status->errors, 1u);
  EXPECT_EQ(m.status->warnings, 1u);
  FmArb* f = m.pcb->msg_file.get();
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, 200));
  PROTO_FULL(f, 0, buf);
  f->rec_len = 200;
  std::vector<std::string> texts;
  while (fm_rdnxt(f)) {
    auto& h = rec::view<LaQueueRec>(buf);
    texts.emplace_back(reinterpret_cast<char*>(buf) + 8, h.length);
    EXPECT_EQ(f->len_read, h.length + 8u);
  }
  ASSERT_EQ(texts.size(), 2u);  // in key order: severity 1, then 2
  EXPECT_EQ(texts[0], "WARNING - short");
  EXPECT_EQ(texts[1].size(), 80u);
  EXPECT_EQ(texts[1].substr(0, 11), "ERROR - xxx");
  mm_destroy_pool(pool);
}

TEST_F(Ii, TruthMaskText) {
  EXPECT_STREQ(tf_msk_to_str(0x3FF), "     ");
  EXPECT_STREQ(tf_msk_to_str((1u << 8) | (2u << 6) | 0x3F), "TF   ");
  EXPECT_STREQ(tf_msk_to_str(0), "-----");
}

TEST_F(Ii, TraceFormats) {
  FILE* t = std::tmpfile();
  ii_set_trace(t);
  CodeRef start = m.op4(466);
  end();
  EXPECT_EQ(run(start, 23), 1);
  ii_set_trace(nullptr);
  std::rewind(t);
  char line[200];
  ASSERT_NE(std::fgets(line, sizeof line, t), nullptr);
  EXPECT_STREQ(line, "(04) ABC TEST PROC                      - 23\r\n");
  auto expect = [&](CodeRef at, const char* name) {
    char want[200];
    std::snprintf(want, sizeof want, "%08X %5s -%-24s - %08X %08X %08X %08X\r\n",
                  arena::offset_of(m.at(at)), "     ", name, 0u, 0u, 0u, 0u);
    ASSERT_NE(std::fgets(line, sizeof line, t), nullptr);
    EXPECT_STREQ(line, want);
  };
  expect(start, "RLOC_NOP");
  expect(cr(start.block, uint16_t(start.offset + 4)), "RLOC_END");
  std::fclose(t);
}

std::string g_shown;
TEST_F(Ii, TmpScrShowsThroughTheErrorDisplay) {
  proc_svc.rt_err = [](void*, const void* r) {
    const auto& e = *static_cast<const ErrDisplay*>(r);
    EXPECT_EQ(e.msg_flag, 255);
    EXPECT_EQ(e.head[0], ' ');
    g_shown = e.msg_text.str();
  };
  IlfExecBlock b;
  b.pcb = m.pcb;
  tmp_scr(&b, "file not open", 13);
  EXPECT_EQ(g_shown, "file not open");
}

// ---------------------------------------------------- internal functions --
int32_t add_two(const uint32_t* args) { return int32_t(args[1] + args[2]); }

TEST_F(Ii, InternalFunctionsAreRecordsOfIfnsByIndex) {
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb)));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb)));
  FmFdb f;
  INIT_IFNS_FDB(&f, kdb, sdb);
  EXPECT_EQ(f.name.view(), " IFNS   ");  // the file code whole
  EXPECT_EQ(f.app.view(), " II");
  EXPECT_EQ(int(f.rec_len), 32);
  int ix = ii_register_ifn("ADD TWO", add_two);
  ASSERT_EQ(FM_OPEN(&f, 0, 0, 1, 15), 1) << f.status;
  FmArb* a = f.handle.get();
  auto* rec = static_cast<uint8_t*>(MM_ALLOC(pool, 32));
  auto find = [&](const char* name) -> int {
    std::memset(rec, ' ', 22);
    std::memcpy(rec, name, std::strlen(name));
    PROTO_FULL(a, 0, rec);
    a->op = FM_OP_EQUAL;
    return fm_read(a) ? int(rec::view<IbIfns>(rec).fn) : -1;
  };
  EXPECT_EQ(find("ADD TWO"), ix);
  int atol_ix = find("atol");
  ASSERT_GE(atol_ix, 0);
  EXPECT_GE(find("get_addr"), 0);
  uint32_t args[3] = {2, 40, 2};
  EXPECT_EQ(ii_ifn(uint32_t(ix))(args), 42);
  char* text = static_cast<char*>(MM_ALLOC(pool, 8));
  std::strcpy(text, "1234");
  uint32_t a1[2] = {1, arena::offset_of(text)};
  EXPECT_EQ(ii_ifn(uint32_t(atol_ix))(a1), 1234);
  EXPECT_EQ(ii_ifn(100000), nullptr);
  FmFdb p;
  INIT_STMT_PRT_FDB(&p);
  EXPECT_EQ(p.app.view(), "0AD");
  EXPECT_EQ(p.ver.view(), "00");
  EXPECT_EQ(p.name.view(), "STMTPRNT");
  EXPECT_EQ(int(p.rec_len), 80);
  EXPECT_EQ(int(p.key_count), 0);
  mm_destroy_pool(pool);
}

// The one table: sizes and operands as builders and relocation see them.
TEST_F(Ii, OpcodeTable) {
  EXPECT_STREQ(ib_op(464).name, "RLOC_BNB");
  EXPECT_STREQ(ib_op(465).name, "INST_BNB");
  EXPECT_EQ(ib_op(464).size, 8);
  EXPECT_STREQ(ib_op(9999).name, "?");
  EXPECT_STREQ(ib_op(86).name, "");
  // A mask or text carried in the instruction: its offset plus its length.
  uint8_t inst[64] = {};
  rec::view<IbInst>(inst).op = 144;           // FMT_ALP, mask length at 10
  rec::view<rec::U16>(inst + 10) = 5;
  EXPECT_EQ(ib_inst_len(inst), 17u);
  rec::view<IbInst>(inst).op = 550;           // BEG AT, 3 segments
  inst[11] = 3;
  EXPECT_EQ(ib_inst_len(inst), 36u);
  rec::view<IbInst>(inst).op = 200;           // not settled yet
  EXPECT_EQ(ib_inst_len(inst), 0u);
  // Every pair's two opcodes agree on length and operands.
  for (int op = 0; op + 1 < kIbOps; op += 2) {
    const IbOpDef& e = ib_op(uint16_t(op));
    const IbOpDef& o = ib_op(uint16_t(op + 1));
    if (!*e.name) continue;
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.size, o.size);
    EXPECT_EQ(e.nopnd, o.nopnd);
    for (int i = 0; i < e.nopnd; ++i) EXPECT_LE(e.opnd[i].at + 4u, e.size);
  }
  // A pair not settled may be settled once.
  IbOpDef d{"RLOC_X", 8, IbLen::Fixed, 0, 0, {}};
  EXPECT_TRUE(ib_define_op(88, d, "INST_X"));
  EXPECT_FALSE(ib_define_op(88, d, "INST_X"));
  EXPECT_FALSE(ib_define_op(464, d, "INST_X"));
  // 780 has no odd opcode: the entry past the table stays "?".
  EXPECT_FALSE(ib_define_op(780, d, "INST_X"));
  EXPECT_STREQ(ib_op(781).name, "?");
  EXPECT_STREQ(ib_op(89).name, "INST_X");
}

}  // namespace
