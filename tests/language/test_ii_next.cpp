// Handlers that run the next instruction themselves (ii_next): they count
// like the loop (yields at the same instruction), hand the pointer back when
// the debugger or the trace wants to look, pass a stop, an unwind or an
// opcode outside the table through, and keep s->pc their own address.
#include <gtest/gtest.h>

#include <vector>

#include "foundation/ssunix.h"
#include "language/ii_asm.h"
#include "support/syserr.h"

using iitest::Module;

namespace {

// Test handlers in slots no family uses.
constexpr uint16_t kOpSeen = 232;     // 8 bytes, chained: records (tag at 4, yields so far)
constexpr uint16_t kOpSeenRet = 234;  // the same, returning to the loop
constexpr uint16_t kOpRaise = 236;    // 8 bytes: err_handler with the message at 4
constexpr uint16_t kOpTrap = 238;     // 8 bytes: the error trap's address at 4 (a code reference)

int g_yields = 0;
struct Seen {
  uint32_t tag;
  int yields;
  bool own_pc;  // s->pc was the handler's own address
  bool operator==(const Seen&) const = default;
};
std::vector<Seen> g_seen;

uint8_t* h_seen(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  g_seen.push_back({rec::view<rec::U32>(pc + 4).get(), g_yields, s->pc == pc});
  return ii_next(b, s, ii_adv(pc, 8));
}
uint8_t* h_seen_ret(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  g_seen.push_back({rec::view<rec::U32>(pc + 4).get(), g_yields, s->pc == pc});
  return ii_adv(pc, 8);
}
uint8_t* h_raise(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  if (err_handler(s, b, rec::view<rec::U32>(pc + 4)) == 0) return ii_again(s);
  return ii_next(b, s, ii_adv(pc, 8));
}
uint8_t* h_trap(IlfExecBlock* b, IlfState* s, uint8_t* pc) {
  s->err_trap = ii_ref(pc + 4);
  return ii_next(b, s, ii_adv(pc, 8));
}

class IiNext : public ::testing::Test {
 protected:
  Module m;
  void SetUp() override {
    bi_init_com();
    fms_init();
    proc_services_reset();
    ii_set_trace(nullptr);
    ASSERT_EQ(ii_init(), 1);
    IbOpDef trap{"RLOC_TEST_TRAP", 8, IbLen::Fixed, 0, 1, {{4, IbOpnd::Code, 0}, {}, {}, {}}};
    ib_define_op(kOpTrap, trap, "INST_TEST_TRAP");
    ii_set_pair(kOpSeen, h_seen);
    ii_set_pair(kOpSeenRet, h_seen_ret);
    ii_set_pair(kOpRaise, h_raise);
    ii_set_pair(kOpTrap, h_trap);
    g_seen.clear();
    g_yields = 0;
    m.build();
  }
  void TearDown() override {
    ii_set_trace(nullptr);
    proc_services_reset();
    com.dbg_ctl_bits = 0;
    com.net_socket = 0;
    ss_set_ping(nullptr);
    fm_shutdown();
    m.destroy();
  }
  // Instructions emitted so far, the chains between blocks included.
  int emitted = 0;
  CodeRef op4(uint16_t op, uint8_t flags = 0) {
    ++emitted;
    return m.op4(op, flags);
  }
  CodeRef op8(uint16_t op, uint32_t word, uint8_t flags = 0) {
    CodeRef at;
    uint8_t* p = m.emit(op, 8, &at);
    rec::view<IbInst>(p).flags = flags;
    rec::view<rec::U32>(p + 4) = word;
    ++emitted;
    return at;
  }
  int count() const { return emitted + m.code.block - 1; }
  int run(CodeRef r) {
    IlfExecBlock b;
    return ::mark(0, [&] { II_EXEC_MISC(m.pcb, 21, &b, Module::word(r)); });
  }
  void count_yields() {
    com.net_socket = 1;
    ss_set_ping([] {
      ++g_yields;
      return true;
    });
  }
};

// The yield comes before the instruction that finds 1001 done since the
// last one, whichever handlers ran them: the loop's own calls and chained
// ones count alike.
TEST_F(IiNext, ChainedHandlersYieldAtTheSameInstruction) {
  count_yields();
  CodeRef start = op4(466);                  // NOP, chained
  while (count() < 1000) op4(466);
  op8(kOpSeen, 1001);                        // instruction 1001: before the second yield
  ASSERT_EQ(count(), 1001);
  op8(kOpSeenRet, 1002);                     // 1002: after it
  ASSERT_EQ(count(), 1002);
  while (count() < 2001) op8(kOpSeenRet, 0);
  op8(kOpSeen, 2002);
  ASSERT_EQ(count(), 2002);
  op8(kOpSeen, 2003);
  ASSERT_EQ(count(), 2003);
  op4(10);
  ASSERT_EQ(count(), 2004);
  ASSERT_GT(m.code.block, 3);                // chains among them
  EXPECT_EQ(run(start), 1);
  std::vector<Seen> marked;
  for (const Seen& s : g_seen)
    if (s.tag) marked.push_back(s);
  EXPECT_EQ(marked, (std::vector<Seen>{{1001, 1, true}, {1002, 2, true}, {2002, 2, true},
                                       {2003, 3, true}}));
  for (const Seen& s : g_seen) EXPECT_TRUE(s.own_pc);
  EXPECT_EQ(g_yields, 3);
}

// With a debugger bit set every instruction goes through the loop's slow
// path, chained or not: stepping stops at each statement in order, and the
// one-shot bit is cleared where reached.
std::vector<uint32_t> g_stops;
TEST_F(IiNext, SteppingStopsAtEveryChainedStatement) {
  proc_svc.dbg_init = [](Pcb*, int) { return true; };
  proc_svc.dbg_stmt = [](IlfExecBlock*, void* st, int* option) {
    auto* s = static_cast<IlfState*>(st);
    uint16_t op = rec::view<IbInst>(s->pc).op;
    g_stops.push_back(op == kOpSeen || op == kOpSeen + 1 ? rec::view<rec::U32>(s->pc + 4).get()
                                                         : 1000u + op);
    *option = 0;
    return true;
  };
  g_stops.clear();
  CodeRef start = op8(kOpSeen, 1, kIbStmt);
  op8(kOpSeen, 2, 0);                        // not a statement: no stop
  op8(kOpSeen, 3, kIbStmt);
  CodeRef one = op8(kOpSeen, 4, kIbOneShot);
  op4(466, kIbStmt);
  op4(10);
  dbg_ctl(11);  // stop at every statement
  EXPECT_EQ(run(start), 1);
  EXPECT_EQ(g_stops, (std::vector<uint32_t>{1, 3, 1000 + 466}));
  EXPECT_EQ(m.at(one)[2] & kIbOneShot, 0);
  EXPECT_EQ(g_seen.size(), 4u);

  // Switched on by a handler in the middle of a chained run, it stops at the
  // next statement: the handler returns ii_again and the loop looks again.
  dbg_ctl(12);
  com.dbg_ctl_bits = 0;
  g_stops.clear();
  ii_set_op(kOpSeenRet + 1, [](IlfExecBlock*, IlfState* s, uint8_t* pc) {
    dbg_ctl(11);
    s->pc = ii_adv(pc, 8);
    return ii_again(s);
  });
  CodeRef s2 = op8(kOpSeen, 11, kIbStmt);
  op8(kOpSeen, 12, kIbStmt);
  op8(kOpSeenRet + 1, 0);
  op8(kOpSeen, 13, kIbStmt);
  op4(10);
  EXPECT_EQ(run(s2), 1);
  EXPECT_EQ(g_stops, (std::vector<uint32_t>{13}));
}

// The trace sees every instruction of a chained run.
TEST_F(IiNext, TraceSeesEveryChainedInstruction) {
  FILE* t = std::tmpfile();
  ii_set_trace(t);
  CodeRef start = op4(466);
  for (int i = 0; i < 600; ++i) op4(466);    // over a chain
  op4(10);
  EXPECT_EQ(run(start), 1);
  ii_set_trace(nullptr);
  std::rewind(t);
  int lines = 0;
  char line[200];
  while (std::fgets(line, sizeof line, t)) ++lines;
  std::fclose(t);
  EXPECT_EQ(lines, 1 + count());             // the event point's line, then each instruction
}

// A chained handler passes on what the next one does: the default handler
// of an opcode outside the table ends the event point; an error trap moves
// the pointer (null comes back through the chain); an unhandled error
// unwinds through it.
TEST_F(IiNext, ChainedHandlersPassOnStopsMovesAndUnwinds) {
  {
    SysErrCapture cap(SysErrAnswer::Continue);
    CodeRef r = op8(kOpSeen, 1);
    op4(9999);
    op8(kOpSeen, 2);                         // never reached
    op4(10);
    EXPECT_EQ(run(r), 1);
    ASSERT_EQ(cap.count(), 1u);
    EXPECT_EQ(cap.log()[0].text, "Missing II function ");
  }
  g_seen.clear();
  CodeRef start;
  uint8_t* tr = m.emit(kOpTrap, 8, &start);
  op8(kOpSeen, 3);
  op8(kOpRaise, 300540);
  op8(kOpSeen, 4);                           // skipped
  CodeRef trap = op8(kOpSeen, 5);
  op4(10);
  rec::view<CodeRef>(tr + 4) = trap;
  EXPECT_EQ(run(start), 1);
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[0].tag, 3u);
  EXPECT_EQ(g_seen[1].tag, 5u);

  g_seen.clear();
  CodeRef s3 = op8(kOpSeen, 6);
  op8(kOpRaise, 300370);                     // not the trapped message
  op8(kOpSeen, 7);
  op4(10);
  EXPECT_EQ(run(s3), 300540);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].tag, 6u);
}

}  // namespace
