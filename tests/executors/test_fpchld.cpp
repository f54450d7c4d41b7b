// Child invocation on the real process runner with scripted child codes:
// the caller's reaction to each completion code, the steering of the
// automatic children by NEXT CHILD ID and INCLUDE CHILDREN, and what is
// handed to a child.
#include <gtest/gtest.h>

#include "executors/chld_fixture.h"
#include "executors/fp.h"
#include "executors/ip.h"
#include "support/syserr.h"

using namespace chldtest;

namespace {

constexpr int kKid = 8;  // the children are Jobs: their executor double ends with the scripted code

struct Reaction {
  int code;        // the child's completion
  int fail_mode;   // the child record's child failure mode
  int parent;      // the caller's completion
  bool went_on;    // the caller's code after the child ran
  const char* next;  // NEXT CHILD ID after it
};

// Every reaction of a Menu caller (invoked DETACHED): 0-2, 5, 19, 34 and
// unknown codes go on (an unknown code as a message), 3 ends the caller
// with 2, 4 by the failure mode, 24 and 25 log out, 37 goes on under a Menu.
TEST_F(ChldFix, EveryCompletionCodeGetsItsReaction) {
  procs({{"PARENT", 1}, {"KID", kKid}});
  const Reaction table[] = {
      {2, 1, 2, true, "+"},  {5, 1, 2, true, "-"},   {19, 1, 2, true, "+"}, {34, 1, 2, true, "+"},
      {3, 1, 2, false, ""},     {4, 0, 2, true, "+"},   {4, 1, 2, true, "+"},  {4, 2, 2, false, ""},
      {4, 3, 4, false, ""},     {24, 1, 24, false, ""},   {25, 1, 25, false, ""},  {37, 1, 2, true, "+"},
      {200, 1, 2, true, "+"},
  };
  for (const Reaction& r : table) {
    SCOPED_TRACE("code " + std::to_string(r.code) + " mode " + std::to_string(r.fail_mode));
    proc_exec_script(kKid, r.code);
    EmCchld* c = child(1, "KID", kKid);
    c->invoc.child_fail_mode = uint8_t(r.fail_mode);
    bool went_on = false;
    std::string next;
    std::vector<std::string> msgs;
    int code = run_parent("PARENT", 1, [&](Pcb* p) {
      status(p)->next_child.set("XX");
      EXPECT_EQ(invoc_chld(p, c), 1);
      went_on = true;
      next = status(p)->next_child.str();
      msgs = messages(p);
    });
    EXPECT_EQ(code, r.parent);
    EXPECT_EQ(went_on, r.went_on);
    if (r.went_on) {
      EXPECT_EQ(next, r.next);
    }
    // 37 under a Menu is 200860; an unknown code becomes a message.
    EXPECT_EQ(msgs.size(), r.went_on && (r.code == 37 || r.code == 200) ? 1u : 0u);
    if (r.code == 37 && !msgs.empty()) {
      EXPECT_NE(msgs[0].find("Process ended abnormally"), std::string::npos) << msgs[0];
    }
  }
  // A failure mode out of the table is a system error, and the caller goes on.
  SysErrCapture cap(SysErrAnswer::Continue);
  proc_exec_script(kKid, 4);
  EmCchld* c = child(1, "KID", kKid);
  c->invoc.child_fail_mode = 9;
  bool went_on = false;
  run_parent("PARENT", 1, [&](Pcb* p) { went_on = invoc_chld(p, c) == 1; });
  EXPECT_TRUE(went_on);
  EXPECT_EQ(cap.last(), "fp, invoc_chld entered default in switch");
}

// 3 ends a caller invoked as a SUBPROCESS with 3; 37 under a Subroutine
// ends it with 37, and no message is queued.
TEST_F(ChldFix, CancelAndMemoryFaultDependOnTheCaller) {
  procs({{"PARENT", 1}, {"SUB", 6}, {"KID", kKid}, {"TOP", 6}});
  proc_exec_script(kKid, 3);
  EmCchld* c = child(1, "KID", kKid);
  int inner = 0;
  run_parent("TOP", 6, [&](Pcb* top) {
    PiInvoc v = abc_invoc("PARENT", 1, 0, top);
    on_ep = [&](Pcb* p, int ep) {
      if (ep == 1 && p->invoc.name.str() == "PARENT") invoc_chld(p, c);
    };
    pi_exec(&v);
    inner = v.completion;
  });
  EXPECT_EQ(inner, 3);
  proc_exec_script(kKid, 37);
  bool went_on = false;
  EXPECT_EQ(run_parent("SUB", 6, [&](Pcb* p) {
              invoc_chld(p, c);
              went_on = true;
            }),
            37);
  EXPECT_FALSE(went_on);
  PiInvoc done = abc_invoc("KID", kKid);
  done.completion = 2;
  EXPECT_EQ(was_chld_corrupt(&done, nullptr), 0);
}

// A child with type 255 and blank names completes with 2 and nothing runs;
// INCLUDE CHILDREN '0' set in event point 61 skips exactly one child and
// is '1' again; the caller mode 3 ends the caller after its child.
TEST_F(ChldFix, NoProcessSkippedChildAndCallerThatEnds) {
  procs({{"PARENT", 1}, {"KID", kKid}});
  proc_exec_script(kKid, 2);
  EmCchld* none = child(1, "", 255);
  none->invoc.app.clear();
  EmCchld* kid = child(2, "KID", kKid);
  int skipped = 0;
  run_parent("PARENT", 1, [&](Pcb* p) {
    EXPECT_EQ(invoc_chld(p, none), 1);
    EXPECT_EQ(status(p)->next_child.str(), "+");
    EXPECT_TRUE(ran("ap_exec").empty());
    on_ep = [&](Pcb* q, int ep) {
      if (ep == 61 && skipped++ == 0) status(q)->include_children.set("0");
    };
    EXPECT_EQ(invoc_chld(p, kid), 1);
    EXPECT_EQ(status(p)->include_children.str(), "1");
    EXPECT_TRUE(ran("ap_exec").empty()) << "the first call skips";
    EXPECT_EQ(invoc_chld(p, kid), 1);
    EXPECT_EQ(ran("ap_exec").size(), 1u) << "the second runs";
  });
  kid->invoc.caller_mode = 3;
  bool went_on = false;
  EXPECT_EQ(run_parent("PARENT", 1, [&](Pcb* p) {
              invoc_chld(p, kid);
              went_on = true;
            }),
            2);
  EXPECT_FALSE(went_on);
  EXPECT_EQ(ran("ap_exec").size(), 2u);
}

// An option child asks for its entry level (refused above ENTRY LEVEL, and
// in key entry when it needs a level); DEFAULT MODE is MODE, or the
// child's own mode.
TEST_F(ChldFix, EntryLevelAndTheModeHandedDown) {
  procs({{"PARENT", 1}, {"KID", kKid}});
  EmCchld* opt = child(1, "KID", kKid, 1);
  run_parent("PARENT", 1, [&](Pcb* p) {
    phase(p)->entry_level = 1;
    phase(p)->mode = 3;
    opt->display = 2;
    EXPECT_EQ(invoc_chld(p, opt), 0);
    opt->display = 1;
    phase(p)->phase = 6;
    EXPECT_EQ(invoc_chld(p, opt), 0);
    phase(p)->phase = 1;
    EXPECT_TRUE(ran("ap_exec").empty());
    EXPECT_EQ(invoc_chld(p, opt), 1);
    EXPECT_EQ(steer(p)->default_mode, 3);
    opt->invoc.reserved2 = 4;
    EXPECT_EQ(invoc_chld(p, opt), 1);
    EXPECT_EQ(steer(p)->default_mode, 4);
  });
  EXPECT_EQ(ran("ap_exec").size(), 2u);
}

// The process's defaults at its start. Every process takes CANCEL OK from
// its definition; only one with a file of its own AUTO READNEXT and EXACT
// KEY REQUIRED: without one they are as a process with no defaults has
// them. An Input process then takes DEFAULT MODE when none was handed (0,
// or one past the modes, 255), AUTO READNEXT when the module has one, and
// EXACT KEY REQUIRED as the module has it.
TEST_F(ChldFix, AProcessTakesTheDefaultsOfItsDefinition) {
  procs({{"PLAIN", 1}, {"PARENT", 1}});
  fx::Rec r = proc_rec("PARENT", 1, "0");
  auto& d = rec::view<DProc>(r.data());
  d.auto_readnext.set("1");
  d.exact_key.set("1");
  d.cancel_ok.set("0");
  ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DPROC_FDB(f, k, s, "ABC", "00"); }, r));
  std::string plain;
  run_parent("PLAIN", 1, [&](Pcb* p) {
    plain = {steer(p)->auto_readnext[0], steer(p)->exact_key[0], steer(p)->cancel_ok[0]};
  });
  ASSERT_EQ(plain.size(), 3u);
  bool ran_body = false;
  run_parent("PARENT", 1, [&](Pcb* p) {
    ran_body = true;
    PdArea3* a3 = steer(p);
    EXPECT_EQ(std::string({a3->auto_readnext[0], a3->exact_key[0], a3->cancel_ok[0]}), plain.substr(0, 2) + "0");
    // With a file of its own it takes them too.
    EmHeader* em = p->module.get();
    const auto no_file = em->pcf_name;
    em->pcf_name.set("IPLINE");
    a3->auto_readnext.set("0");
    a3->exact_key.set("0");
    init_pdf(p, true);
    EXPECT_EQ(std::string({a3->auto_readnext[0], a3->exact_key[0], a3->cancel_ok[0]}), "110");
    // A blank default leaves its field as it stands.
    const auto given = std::string({em->dflt_auto_rdnxt[0], em->dflt_exact_key[0], em->dflt_cancel_ok[0]});
    for (auto* f : {&em->dflt_auto_rdnxt, &em->dflt_exact_key, &em->dflt_cancel_ok}) f->set(" ");
    a3->auto_readnext.set("0");
    a3->exact_key.set("1");
    a3->cancel_ok.set("1");
    init_pdf(p, true);
    EXPECT_EQ(std::string({a3->auto_readnext[0], a3->exact_key[0], a3->cancel_ok[0]}), "011");
    em->dflt_auto_rdnxt.set(given.substr(0, 1));
    em->dflt_exact_key.set(given.substr(1, 1));
    em->dflt_cancel_ok.set(given.substr(2, 1));
    em->pcf_name = no_file;
    em->dflt_mode = 3;
    for (auto [handed, want] : {std::pair{0, 3}, {1, 1}, {254, 254}, {255, 3}}) {
      a3->default_mode = uint8_t(handed);
      ip_take_defaults(p);
      EXPECT_EQ(a3->default_mode, want) << handed;
    }
    for (char given : {' ', '0', '1'}) {
      em->dflt_auto_rdnxt[0] = given;
      em->dflt_exact_key[0] = given;
      a3->auto_readnext.set("1");
      a3->exact_key.set("1");
      ip_take_defaults(p);
      EXPECT_EQ(a3->auto_readnext[0], given == ' ' ? '1' : given);
      EXPECT_EQ(a3->exact_key[0], given);
    }
  });
  EXPECT_TRUE(ran_body);
}

// The automatic children: "+   " (or blank) walks forward to the end (22);
// "-   " walks back and backs out at the first (5); an id runs that child
// and goes on from it; an unknown id is the design error 100830.
TEST_F(ChldFix, NextChildIdWalksBothWays) {
  procs({{"PARENT", 1}, {"KA", 8}, {"KB", 7}, {"KC", 10}});
  std::vector<EmCchld*> kids{child(1, "KA", 8, 0, "A   "), child(2, "KB", 7, 0, "B   "),
                             child(3, "KX", 8, 1, "X   "),  // an option child in the frame's range
                             child(4, "KC", 10, 0, "C   ")};
  run_parent("PARENT", 1, [&](Pcb* p) {
    Frame f(p, e.pool, kids);
    status(p)->next_child.clear();
    EXPECT_EQ(invoc_auto_chld(p), kFpDone);
    EXPECT_EQ(ran("ap_exec"), (std::vector<std::string>{"KA", "KB", "KC"}));
    proc_exec_log_clear();
    status(p)->next_child.set("B");
    EXPECT_EQ(invoc_auto_chld(p), kFpDone);
    EXPECT_EQ(ran("ap_exec"), (std::vector<std::string>{"KB", "KC"}));
    // KB backs out: the walk turns and leaves the frame at KA.
    proc_exec_log_clear();
    proc_exec_script(7, 5);
    proc_exec_script(8, 5);
    proc_exec_script(10, 5);
    status(p)->next_child.set("-");
    EXPECT_EQ(invoc_auto_chld(p), kFpBack);
    EXPECT_EQ(ran("ap_exec"), (std::vector<std::string>{"KC", "KB", "KA"}));
    // INCLUDE CHILDREN '0' before the walk ends it in its direction.
    proc_exec_log_clear();
    status(p)->include_children.set("0");
    status(p)->next_child.set("-");
    EXPECT_EQ(invoc_auto_chld(p), kFpBack);
    EXPECT_TRUE(ran("ap_exec").empty());
  });
  for (size_t n : {kids.size(), size_t(0)}) {
    int code = run_parent("PARENT", 1, [&](Pcb* p) {
      Frame f(p, e.pool, std::vector<EmCchld*>(kids.begin(), kids.begin() + long(n)));
      status(p)->next_child.set("ZZ");
      invoc_auto_chld(p);
      ADD_FAILURE() << "an unknown child id goes on";
    });
    EXPECT_EQ(code, 4) << n << " children";
  }
  // A frame without automatic children ends its walk at once.
  run_parent("PARENT", 1, [&](Pcb* p) {
    Frame f(p, e.pool, {});
    status(p)->next_child.set("-");
    EXPECT_EQ(invoc_auto_chld(p), kFpBack);
    status(p)->next_child.set("+");
    EXPECT_EQ(invoc_auto_chld(p), kFpDone);
  });
}

}  // namespace
