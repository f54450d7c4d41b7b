// The process runner: event points and completion codes, the family discard
// on every exit, PCB reuse by SUBPROCESS, refusals, defaults and hooks,
// security, and the data areas shared with a caller.
#include <gtest/gtest.h>

#include <array>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "language/ii.h"
#include "pi_fixture.h"
#include "pl_fixture.h"
#include "process/piexec.h"
#include "process/pb.h"
#include "process/pishr.h"
#include "support/syserr.h"

using namespace pltest;
using namespace pitest;

namespace {

class Pi : public PiFix {};

// ------------------------------------------------- event points, codes --
TEST_F(Pi, SubroutineRunsEp01ThenEp06AndLeavesNoPcb) {
  define({{"SUB", 6}});
  uint32_t counter = pi_family_counter();
  PiInvoc v = abc_invoc("SUB", 6);
  EXPECT_EQ(pi_run(&v), 2);
  EXPECT_EQ(v.completion, 2);
  EXPECT_EQ(g_eps.log, (std::vector<std::string>{"SUB:1", "SUB:6"}));
  EXPECT_EQ(pi_pcb_count(), 0u);
  EXPECT_EQ(pi_family_counter(), counter);
}

TEST_F(Pi, Ep06MergesWithTheExecutorsCode) {
  define({{"ACT", 4}, {"OUT", 3}});
  struct Case {
    int exec, ep06, want;
  } cases[] = {{2, 4, 4}, {3, 2, 3}, {2, 37, 37}, {37, 4, 37}, {24, 3, 3}, {2, 0, 2}};
  for (auto c : cases) {
    g_eps = Eps{};
    proc_exec_script(4, c.exec);
    g_eps.code["ACT:6"] = c.ep06;
    PiInvoc v = abc_invoc("ACT", 4);
    EXPECT_EQ(pi_run(&v), c.want) << c.exec << " " << c.ep06;
    EXPECT_EQ(pi_pcb_count(), 0u);
  }
  // An executor that ends with 1 runs no event point 06.
  g_eps = Eps{};
  proc_exec_script(4, 1);
  EXPECT_EQ(pi_run("ACT", 4), 1);
  EXPECT_EQ(g_eps.log, (std::vector<std::string>{"ACT:1"}));
  // Output in automatic mode 1 skips event point 01 and runs op_auto.
  g_eps = Eps{};
  proc_exec_log_clear();
  PiInvoc o = abc_invoc("OUT", 3);
  o.auto_mode = 1;
  EXPECT_EQ(pi_run(&o), 2);
  EXPECT_EQ(g_eps.log, (std::vector<std::string>{"OUT:6"}));
  EXPECT_EQ(count("op_auto"), 1);
  EXPECT_EQ(count("op_cleanup"), 1);
  // A clean-up code of 4 becomes the result.
  proc_exec_cleanup_code(4);
  EXPECT_EQ(pi_run("OUT", 3), 4);
}

// ------------------------------------------------ family discard, CANCEL --
TEST_F(Pi, SystemErrorAnsweredCancelInEveryPhaseLeavesNoPcb) {
  define({{"MEN", 1}, {"ACT", 4}});
  SysErrCapture se(SysErrAnswer::Cancel);
  // In a setup (outside the event-point scopes), an event point, the
  // executor, event point 06.
  proc_svc.mp_setup = [](Pcb*) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "setup fails");
    os_sys_err("TEST", 1);
  };
  EXPECT_EQ(pi_run("MEN", 1), 3);
  EXPECT_EQ(pi_pcb_count(), 0u);
  for (int phase : {1, 2, 6}) {
    g_eps = Eps{};
    g_eps.hook = [phase](Pcb*, int ep) {
      if (ep == phase) {
        std::snprintf(ut_dbg, sizeof ut_dbg, "phase fails");
        os_sys_err("TEST", 2);
      }
    };
    g_ap = [phase](Pcb*) {
      if (phase == 2) {
        std::snprintf(ut_dbg, sizeof ut_dbg, "executor fails");
        os_sys_err("TEST", 3);
      }
    };
    proc_svc.ap_exec = ap_double;
    EXPECT_EQ(pi_run("ACT", 4), 3) << phase;
    EXPECT_EQ(pi_pcb_count(), 0u) << phase;
  }
}

// A run-time error answered CANCEL in the debugger (err_handler) ends the
// event point with 4, and the run with 4, wherever it happens; nothing stays.
TEST_F(Pi, RuntimeErrorCancelledInTheDebuggerEndsTheRunWith4) {
  define({{"ACT", 4}});
  proc_svc.dbg_init = [](Pcb*, int mode) { return mode == 1; };
  proc_svc.dbg_stmt = [](IlfExecBlock*, void*, int* option) {
    *option = 278;
    return false;
  };
  auto fail = [](Pcb* p) {
    IlfExecBlock b;
    b.pcb = p;
    IlfState s;
    err_handler(&s, &b, 300300);
  };
  for (int phase : {1, 2, 6}) {
    g_eps = Eps{};
    uint32_t option = 0;
    g_eps.hook = [&](Pcb* p, int ep) {
      if (ep == phase) fail(p);
      if (ep == 6 && phase != 6)
        if (PcbStatus* st = pcb_status(p)) option = st->option.get();
    };
    g_ap = [&](Pcb* p) {
      if (phase == 2) fail(p);
    };
    proc_svc.ap_exec = ap_double;
    EXPECT_EQ(pi_run("ACT", 4), 4) << phase;
    EXPECT_EQ(pi_pcb_count(), 0u) << phase;
    if (phase != 6) {
      EXPECT_EQ(option, 278u) << phase;  // seen by event point 06
    }
    EXPECT_EQ(std::count(g_eps.log.begin(), g_eps.log.end(), std::string("ACT:6")), 1) << phase;
  }
}

// ----------------------------------------------------------- SUBPROCESS --
TEST_F(Pi, SubprocessReusesItsPcbAndAlternatesWhenReplacingItself) {
  define({{"PAR", 4}, {"KID", 6}});
  std::vector<Pcb*> seen;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (p->invoc.name == "KID" && ep == 1) seen.push_back(p);
  };
  int codes[2] = {};
  g_ap = [&](Pcb* parent) {
    for (int i = 0; i < 2; ++i) {
      PiInvoc k = abc_invoc("KID", 6, 0, parent);
      k.query_reuse = uint8_t(i);
      pi_exec(&k);
      codes[i] = k.completion;
    }
    EXPECT_EQ(pi_pcb_count(), 2u);
    Pcb* kid = pi_find_pcb(parent->family, abc_invoc("KID", 6), 0, 0);
    ASSERT_NE(kid, nullptr);
    EXPECT_EQ(kid->invoc.query_reuse, 1);  // the invocation copied anew
  };
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  EXPECT_EQ(codes[0], 2);
  EXPECT_EQ(codes[1], 2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(pi_pcb_count(), 0u);
}

TEST_F(Pi, SubprocessOfARunningProcessGetsItsOwnPcb) {
  define({{"REC", 4}});
  descs()["REC"].areas = 9;  // its last area (class 9) is not shared with a SUBPROCESS
  int depth = 0;
  std::vector<Pcb*> pcbs;
  EXPECT_EQ(run_ap("REC",
                   [&](Pcb* p) {
                     pcbs.push_back(p);
                     if (++depth <= 2) {
                       EXPECT_EQ(child(p, "REC", 4), 2);
                       // The module addresses this run's areas again, every one of them.
                       EmHeader* em = p->module.get();
                       EXPECT_EQ(em->running_pcb.get(), p);
                       size_t bytes = 4 * (size_t(em->n_areas) + 1);
                       EXPECT_EQ(std::memcmp(em->area_addr.get(), p->area_addr.get(), bytes), 0);
                     }
                   }),
            2);
  ASSERT_EQ(pcbs.size(), 3u);
  EXPECT_NE(pcbs[0], pcbs[1]);
  EXPECT_NE(pcbs[1], pcbs[2]);
  EXPECT_EQ(pi_pcb_count(), 0u);
}

TEST_F(Pi, LogoutThreeLevelsDownEndsEveryLevelAtOnce) {
  define({{"L1", 4}, {"L2", 4}, {"L3", 4}});
  EXPECT_EQ(run_ap("L1",
                   [&](Pcb* p) {
                     std::string n = p->invoc.name.str();
                     if (n == "L3") ut_unwind(24);
                     child(p, n == "L1" ? "L2" : "L3", 4, n == "L1" ? 1 : 0);
                     ADD_FAILURE() << "a logout returned to " << n;
                   }),
            24);
  for (const char* n : {"L1", "L2", "L3"}) {
    EXPECT_EQ(std::count(g_eps.log.begin(), g_eps.log.end(), std::string(n) + ":6"), 1) << n;
  }
  EXPECT_EQ(pi_pcb_count(), 0u);
}

// ---------------------------------------------------------- refusals --
TEST_F(Pi, NoDefaultProcessGives20AndCreatesNothing) {
  PiInvoc w = abc_invoc("", 1);
  w.app.set("ZZZ");
  pi_run(&w);  // warm: the getters' buffers
  size_t before = arena::in_use();
  PiInvoc v = abc_invoc("", 1);
  v.app.set("ZZZ");
  EXPECT_EQ(pi_run(&v), 20);
  EXPECT_EQ(pi_pcb_count(), 0u);
  EXPECT_EQ(arena::in_use(), before);
}

TEST_F(Pi, MissingDefinitionGives4AndFreesThePcb) {
  define({{"SUB", 6}});
  pi_run("SUB", 6);  // warm: pools, work areas, the error record
  pi_run("NOPE", 6);
  size_t before = arena::in_use(), live = mm_pool_live(pi_pool());
  uint32_t counter = pi_family_counter();
  EXPECT_EQ(pi_run("NOPE", 6), 4);
  EXPECT_EQ(pi_pcb_count(), 0u);
  EXPECT_EQ(arena::in_use(), before);
  EXPECT_EQ(mm_pool_live(pi_pool()), live);
  EXPECT_EQ(pi_family_counter(), counter);  // the family number it took is given back
  EXPECT_NE(pi_start_failure().find(la_text(200140)), std::string::npos) << pi_start_failure();
}

TEST_F(Pi, BadKindOrTypeEndsWith4) {
  define({{"SUB", 6}});
  SysErrCapture se(SysErrAnswer::Continue);
  EXPECT_EQ(pi_run("SUB", 6, 7), 4);
  EXPECT_EQ(pi_run("SUB", 11), 4);
  // One past the last kind and either side of the types too; each is refused
  // as such, before its module is looked for.
  EXPECT_EQ(pi_run("SUB", 6, 3), 4);
  EXPECT_EQ(pi_run("SUB", 0), 4);
  ASSERT_EQ(se.count(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const std::string& text = se.log()[i].text;
    EXPECT_NE(text.find(i % 2 ? "bad proc type" : "bad invoc type"), std::string::npos) << text;
  }
  EXPECT_EQ(pi_pcb_count(), 0u);
}

// ---------------------------------------------------------- security --
TEST_F(Pi, ProfileBitsAllowAndRefuse) {
  define({{"OK5", 6}, {"NO6", 6}, {"BIG", 6}}, {{"OK5", "5"}, {"NO6", "6"}, {"BIG", "2000"}});
  use_profile("CLERK", {5});
  uint32_t counter = pi_family_counter();
  EXPECT_EQ(pi_run("OK5", 6), 2);
  EXPECT_EQ(pi_run("NO6", 6), 34);
  EXPECT_EQ(pi_family_counter(), counter);
  PiInvoc c = abc_invoc("BIG", 6);  // beyond the record's bit map: not set
  EXPECT_EQ(pi_run(&c), 34);
  EXPECT_EQ(pi_pcb_count(), 0u);
  // The refused modules were given back.
  pl_flush();
  EXPECT_EQ(pl_cache_count(), 0u);
}

TEST_F(Pi, ProfileBitsBeyondTheRecordAreUnset) {
  // A profile with every bit set, followed by set bytes: nothing past its
  // bit map counts.
  alignas(DProfile) uint8_t raw[sizeof(DProfile) + 8];
  std::memset(raw, 0xFF, sizeof raw);
  DProfile& p = *reinterpret_cast<DProfile*>(raw);
  EXPECT_TRUE(pi_prof_bit(&p, 0));
  EXPECT_TRUE(pi_prof_bit(&p, 1023));
  EXPECT_FALSE(pi_prof_bit(&p, 1024));
  EXPECT_FALSE(pi_prof_bit(&p, 1031));
  EXPECT_FALSE(pi_prof_bit(&p, 1 << 30));
  EXPECT_FALSE(pi_prof_bit(&p, -1));
  EXPECT_EQ(pi_chk_secr(-1, nullptr), 1);
}

// A child of a caller working in database "DB1": without a DBXAP record of
// (DB1, ABC) it is refused; in phase 1 the profile is not asked; in phase 2
// its bit decides.
TEST_F(Pi, ExecutionInADatabaseFollowsItsApplicationRecord) {
  define({{"PAR", 4}, {"NO6", 6}}, {{"NO6", "6"}});
  for (const char* n : {"PAR", "NO6"}) {  // with the predefined areas up to 11
    descs()[n].areas = 11;
    descs()[n].area_size = sizeof(PdArea1);
  }
  use_profile("CLERK");
  int code = 0;
  std::string db;
  g_ap = [&](Pcb* p) {
    db = pi_area_rec<PdArea9>(p, 9)->cur_db.str();
    code = child(p, "NO6", 6);
  };
  auto run_child = [&]() {
    pi_getx_reset();
    code = 0;
    EXPECT_EQ(run_ap("PAR", g_ap), 2);
    return code;
  };
  EXPECT_EQ(run_child(), 34);
  EXPECT_EQ(db, "DB1");
  auto dbxap = [](int phase) {
    return fx::rec("DBXAP", {{"db", "DB1"}, {"app", "ABC"}, {"phase", std::to_string(phase)}});
  };
  ASSERT_EQ(fx::write("DBXAP", nullptr, nullptr, {dbxap(1)}), 1);
  EXPECT_EQ(run_child(), 2);
  ASSERT_TRUE(rewrite(INIT_DDBXAP_FDB, dbxap(2)));
  EXPECT_EQ(run_child(), 34);
  use_profile("CLERK6", {6});
  EXPECT_EQ(run_child(), 2);
  EXPECT_EQ(pi_pcb_count(), 0u);
}

// ---------------------------------------------------------- defaults --
TEST_F(Pi, BlankStartupRunsTheDefaultMenu) {
  Pcb key{};
  PiInvoc v;
  os_invoc_template(&v);
  std::memcpy(&key.invoc, &v, 36);
  ASSERT_EQ(dflt_proc(&key, &v, nullptr), 1);
  EXPECT_EQ(key.invoc.app.str(), "0LA");
  EXPECT_EQ(key.invoc.ver.str(), "00");
  EXPECT_EQ(key.invoc.type, 1);
  EXPECT_EQ(key.invoc.name.str(), "QUVO MENU");
}

TEST_F(Pi, HooksApplyInTheirOrder) {
  // Process "SRC" of "ABC" hooked for (db, user), (blank, user),
  // (db, blank), (blank, blank): each removal lets the next one apply.
  auto hook = [](const char* db, const char* user, const char* target) {
    fx::Rec r = fx::rec("HOOK", {});
    auto& h = rec::view<DHook>(r.data());
    std::memset(static_cast<void*>(&h), ' ', sizeof h);
    h.app.set("ABC");
    h.ver.set("00");
    h.proc_type = 4;
    h.proc.set("SRC");
    h.db.set(db);
    h.user.set(user);
    h.t_app.set("ABC");
    h.t_ver.set("00");
    h.t_type = 4;
    h.t_proc.set(target);
    h.active.set("1");
    return r;
  };
  std::vector<fx::Rec> all = {hook("DB1", "USR", "T1"), hook("", "USR", "T2"), hook("DB1", "", "T3"),
                              hook("", "", "T4"), hook("", "OTH", "T5")};
  const char* want[] = {"T1", "T2", "T3", "T4", "SRC"};
  ASSERT_EQ(fx::write("HOOK", nullptr, nullptr, all), int(all.size()));
  for (size_t drop = 0; drop < 5; ++drop) {
    if (drop > 0) {
      // Take the winner of the last round out of use.
      rec::view<DHook>(all[drop - 1].data()).active.set("0");
      ASSERT_TRUE(rewrite(INIT_DHOOK_FDB, all[drop - 1]));
    }
    ASSERT_EQ(pi_init(), 1);
    Pcb key{};
    key.invoc = abc_invoc("SRC", 4);
    char db[3] = {'D', 'B', '1'};
    hook_proc(&key, 3, db);
    EXPECT_EQ(key.invoc.name.str(), want[drop]) << drop;
  }
}

TEST_F(Pi, StartupMenuByOperationalPhase) {
  EXPECT_TRUE(db_required("ABC"));
  EXPECT_FALSE(db_required("0LA"));
  EXPECT_FALSE(db_required("0DN"));
  // No database: the PARAM's default menu "MENU".
  Pcb key{};
  PiInvoc v = abc_invoc("", 1);
  std::memcpy(&key.invoc, &v, 36);
  com.startup_db.set("DB1");
  ASSERT_EQ(dflt_proc(&key, &v, nullptr), 1);
  EXPECT_EQ(key.invoc.name.str(), "MENU");
  EXPECT_EQ(key.invoc.type, 1);
  com.startup_db.set("");
}

// ---------------------------------------------------------- data areas --
TEST_F(Pi, SharingTableFollowsItsRule) {
  // The table of shared classes, written out.
  std::map<std::pair<int, int>, std::vector<int>> shared = {
      {{0, 0}, {4, 8, 12}}, {{0, 1}, {3, 4, 7, 8, 11, 12}}, {{0, 2}, {2, 3, 4, 6, 7, 8, 10, 11, 12}},
      {{1, 0}, {8, 12}},    {{1, 1}, {7, 8, 11, 12}},       {{1, 2}, {6, 7, 8, 10, 11, 12}},
      {{2, 0}, {12}},       {{2, 1}, {11, 12}},             {{2, 2}, {10, 11, 12}}};
  for (auto& [kp, classes] : shared) {
    for (int c = 0; c < 13; ++c) {
      bool want = std::find(classes.begin(), classes.end(), c) != classes.end();
      EXPECT_EQ(pi_class_shared(kp.first, kp.second, c), want) << kp.first << kp.second << c;
      EXPECT_EQ(saa_non_shr_tbl[kp.first * 39 + kp.second * 13 + c], want ? 0 : 1);
    }
  }
  EXPECT_FALSE(pi_class_shared(3, 0, 12));
  EXPECT_FALSE(pi_class_shared(0, 3, 12));
  for (int k = 0; k < 3; ++k)
    for (int p = 0; p < 3; ++p) EXPECT_FALSE(pi_class_shared(k, p, kSaaClasses)) << k << p;
  EXPECT_FALSE(pi_class_shared(0, 0, 13));
  EXPECT_FALSE(pi_class_shared(-1, 0, 4));
}

TEST_F(Pi, SubprocessSharesOnlyItsClassesAndIndependentRunsNothing) {
  define({{"PAR", 4}, {"KID", 6}});
  // The fixture's areas 1-8 have classes 1-8; a class 0 child shares 4, 8.
  std::map<std::string, std::vector<uint8_t*>> areas;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    std::vector<uint8_t*> a;
    for (int i = 1; i <= kAreas; ++i) a.push_back(p->area_addr.get()[i].get());
    areas[p->invoc.name.str() + std::to_string(p->invoc.kind) + std::to_string(p->invoc.independent)] = a;
  };
  EXPECT_EQ(run_ap("PAR",
                   [&](Pcb* parent) {
                     child(parent, "KID", 6);
                     child(parent, "KID", 6, 2);
                     child(parent, "KID", 6, 0, true);
                   }),
            2);
  auto& par = areas["PAR20"];
  auto& sub = areas["KID00"];
  auto& det = areas["KID20"];
  auto& ind = areas["KID01"];
  ASSERT_EQ(sub.size(), size_t(kAreas));
  for (int i = 0; i < kAreas; ++i) {
    int cls = i + 1;
    EXPECT_EQ(sub[i] == par[i], cls == 4 || cls == 8) << cls;
    EXPECT_NE(det[i], par[i]) << cls;  // class 0: DETACHED shares only 12
    EXPECT_NE(ind[i], par[i]) << cls;
  }
  EXPECT_EQ(pi_pcb_count(), 0u);
}

TEST_F(Pi, StoreAndRestoreRoundTrip) {
  define({{"SUB", 6}});
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    size_t n = pi_store_size(p);
    ASSERT_EQ(n, size_t(64 * kAreas));
    for (int i = 1; i <= kAreas; ++i) std::memset(p->area_addr.get()[i].get(), i, 64);
    std::vector<uint8_t> buf(n);
    ASSERT_EQ(pi_store_data(p, buf.data(), n), 1);
    for (int i = 1; i <= kAreas; ++i) std::memset(p->area_addr.get()[i].get(), 0, 64);
    ASSERT_EQ(pi_restore_data(p, buf.data(), n), 1);
    for (int i = 1; i <= kAreas; ++i) EXPECT_EQ(p->area_addr.get()[i].get()[63], i);
    SysErrCapture se(SysErrAnswer::Continue);
    EXPECT_EQ(pi_store_data(p, buf.data(), n - 1), 0);
    // Look-ups by reference: class 3, number 3 is the third area.
    uint32_t ix = 0;
    EXPECT_EQ(pi_find_addr(p, "ABC", 3000003, 0, 5, &ix), p->area_addr.get()[3].get() + 5);
    EXPECT_EQ(ix, 3u);
    EXPECT_EQ(pi_find_addr(p, "ABC", 4000003, 0, 0, nullptr), nullptr);
    EXPECT_EQ(pi_find_addr(p, "XYZ", 3000003, 0, 0, nullptr), nullptr);
    EXPECT_EQ(pi_find_rec(p, "ABC", "NOFILE  "), nullptr);
  };
  EXPECT_EQ(pi_run("SUB", 6), 2);
}

TEST_F(Pi, ConstraintOnAnotherFileEndsWith2) {
  define({{"SUB", 6}});
  PiInvoc v = abc_invoc("SUB", 6);
  v.cns_count = 1;
  v.pcf_app.set("XYZ");
  v.pcf_file = 9;
  EXPECT_EQ(pi_run(&v), 2);
  EXPECT_TRUE(g_eps.log.empty());
  EXPECT_EQ(pi_pcb_count(), 0u);
}

TEST_F(Pi, ManyRunsLeaveTheArenaAsAfterTheFirst) {
  define({{"PAR", 4}, {"KID", 6}, {"REF", 6}}, {{"REF", "9"}});
  use_profile("NONE");
  g_ap = [&](Pcb* parent) { child(parent, "KID", 6); };
  proc_svc.ap_exec = ap_double;
  SysErrCapture se(SysErrAnswer::Cancel);
  auto round = [&](int i) {
    PiInvoc v = abc_invoc(i % 3 == 0 ? "PAR" : i % 3 == 1 ? "REF" : "KID", i % 3 == 0 ? 4 : 6);
    g_eps.code["KID:6"] = i % 5 == 0 ? 3 : 0;
    pi_run(&v);
  };
  for (int i = 0; i < 1000; ++i) round(i);
  size_t in_use = arena::in_use();
  size_t pools = mm_pool_count();
  for (int i = 0; i < 10000; ++i) round(i);
  EXPECT_EQ(arena::in_use(), in_use);
  EXPECT_EQ(mm_pool_count(), pools);
  EXPECT_EQ(pi_pcb_count(), 0u);
}

TEST_F(Pi, ProcessReplacingItselfAlternatesAndBothPcbsExist) {
  define({{"SELF", 4}});
  int runs = 0;
  std::vector<std::pair<Pcb*, int>> seen;
  std::vector<int> alternation;
  g_ap = [&](Pcb* p) {
    seen.push_back({p, int(pi_pcb_count())});
    alternation.push_back(p->alternation);
    if (++runs > 2) return;
    child(p, "SELF", 4, 0, false, 2);
    ADD_FAILURE() << "a replacing invocation returned";
  };
  EXPECT_EQ(run_ap("SELF", g_ap), 2);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_NE(seen[0].first, seen[1].first);
  EXPECT_EQ(seen[2].first, seen[0].first);  // replaced once more: back to the first PCB
  EXPECT_EQ(alternation, (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(seen[1].second, 2);
  EXPECT_EQ(seen[2].second, 2);
  // Each replaced caller ran its event point 06 once, then the new PCB ran.
  EXPECT_EQ(g_eps.log,
            (std::vector<std::string>{"SELF:1", "SELF:6", "SELF:1", "SELF:6", "SELF:1", "SELF:6"}));
  EXPECT_EQ(pi_pcb_count(), 0u);
}

TEST_F(Pi, RefusedChildQueues200460OnTheParentsMessages) {
  define({{"PAR", 4}, {"NO6", 6}}, {{"NO6", "6"}});
  use_profile("CLERK");
  int code = 0, msgs = 0;
  g_ap = [&](Pcb* p) {
    code = child(p, "NO6", 6);
    FmArb* m = p->msg_file.get();
    ASSERT_NE(m, nullptr);
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(e.pool, 128));
    PROTO_FULL(m, 0, buf);
    m->op = FM_OP_FIRST;
    fm_start(m);
    m->op = 0;
    std::string want = la_text(200460).substr(0, 20);
    while (fm_rdnxt(m) == 1) {
      std::string text(reinterpret_cast<char*>(buf + 8), 79);
      if (text.find(want) != std::string::npos) ++msgs;
    }
    mm_free(buf);
  };
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  EXPECT_EQ(code, 34);
  EXPECT_EQ(msgs, 1);
}

TEST_F(Pi, RequiredFileThatCannotBeOpenedGoesToTheErrorDisplay) {
  define({{"SUB", 6}});
  ASSERT_EQ(pi_run("SUB", 6), 2);  // the module is cached now
  add_cfi("SUB", 6, data_fdb("NOFILE"));
  proc_exec_log_clear();
  EXPECT_EQ(pi_run("SUB", 6), 4);
  EXPECT_EQ(count("rt_err"), 1);
  ASSERT_FALSE(proc_exec_log().empty());
  EXPECT_EQ(proc_exec_log().back().text.rfind(la_text(300270), 0), 0u) << proc_exec_log().back().text;
  EXPECT_TRUE(g_eps.log.size() == 2);  // the first run's only
  EXPECT_EQ(pi_pcb_count(), 0u);
}

// The process's own file: its file control area holds the compiled
// reference and the open handle, whose buffer is the record area; the PCB
// has it as PCF entry with a stream over it; an invocation naming a query
// gives the type 3 block; a report process's break table stays empty.
// Creates the data file and its directory entry, as the dictionary tools make them.
void make_data_file(MmPool pool, FmFdb f) {
  FmFdb made = f;
  ASSERT_EQ(FM_CREATE(&made, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
  FM_CLOSE(made.handle.get(), 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb sd;
  INIT_DSYSDIR_FDB(&sd, kdb, sdb);
  ASSERT_EQ(FM_CREATE(&sd, com.depth, 0, FM_OPT_CREATE | FM_OPT_NO_SYSDIR, 0, 0), 1);
  auto* ent = static_cast<FmSysdirRec*>(MM_ALLOC(pool, sizeof(FmSysdirRec)));
  fm_cat_sysdir_entry(&f, ent);
  PROTO_FULL(sd.handle.get(), 0, reinterpret_cast<uint8_t*>(ent));
  ASSERT_EQ(fm_write(sd.handle.get()), 1);
  FM_CLOSE(sd.handle.get(), 0);
}

TEST_F(Pi, TheProcessFileIsOpenedIntoItsControlAreaWithAStream) {
  define({{"ACT", 4}});
  FmFdb f = data_fdb("PCFILE");
  ASSERT_NO_FATAL_FAILURE(make_data_file(e.pool, f));
  PiInvoc w = abc_invoc("ACT", 4);
  proc_svc.ap_exec = ap_double;
  ASSERT_EQ(pi_run(&w), 2);  // the module is cached now
  add_cfi("ACT", 4, f, [](EmCfi* r, EmHeader* em) {
    r->rec_ira = 1;
    r->ctl_ira = 2;
    em->pcf_file = 1;
    em->pcf_app.set("ABC");
  });
  bool checked = false;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    checked = true;
    uint8_t* rec_area = p->area_addr.get()[1].get();
    auto* fca = reinterpret_cast<PiFileCtl*>(p->area_addr.get()[2].get());
    EXPECT_EQ(p->pcf_entry.get(), static_cast<void*>(fca));
    EXPECT_NE(fca->cfi.get(), nullptr);
    ASSERT_NE(fca->handle.get(), nullptr);
    EXPECT_EQ(fca->handle->rec.get(), rec_area);
    EXPECT_EQ(int(fca->copy_mode), 1);
    ASSERT_NE(p->pcf_stream.get(), nullptr);
    EXPECT_EQ(p->pcf_stream->rec.get(), rec_area);
    EXPECT_EQ(int(p->pcf_stream->state), int(FM_HS_QUERY));
    auto* q = static_cast<PiQryScb*>(p->query_scb.get());
    EXPECT_EQ(int(q->scope), int(com.proc_scope));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->head.type.get(), 3u);
    EXPECT_TRUE(q->app == "QAP");
    EXPECT_EQ(q->name.str(), "Q1");
    EXPECT_EQ(int(q->level_events), 1);
    EXPECT_EQ(int(q->reuse), 2);
    EXPECT_EQ(q->head.next.get(), nullptr);
    EXPECT_EQ(p->break_count.get(), 0u);
    EXPECT_EQ(p->break_tbl.get(), nullptr);  // a query stream never reaches a half-built table
  };
  // A query that selects every record: the stream is a query stream.
  pb_init();
  pb_set_define([](const FmScbQuery&, PbQueryDef* out) {
    out->test = [](const PbQslct&, const uint8_t*) { return true; };
    return 1;
  });
  PiInvoc v = abc_invoc("ACT", 4);
  v.query_app.set("QAP");
  v.query_name.set("Q1");
  v.query_reuse = 2;
  EXPECT_EQ(pi_run(&v), 2);
  pb_set_define(nullptr);
  EXPECT_TRUE(checked);
  EXPECT_EQ(count("rt_err"), 0) << (proc_exec_log().empty() ? std::string() : proc_exec_log().back().text);
  EXPECT_EQ(pi_pcb_count(), 0u);
  // In automatic mode no query block is built.
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep == 1) {
      EXPECT_EQ(p->query_scb.get(), nullptr);
    }
  };
  v.auto_mode = 1;
  EXPECT_EQ(pi_run(&v), 2);
}

// A file reference the loader has not relocated names its areas by their
// index: the last area of the table is reached like any other.
TEST_F(Pi, AFileReferenceByIndexReachesTheLastArea) {
  define({{"ACT", 4}});
  FmFdb f = data_fdb("PCFILE");
  ASSERT_NO_FATAL_FAILURE(make_data_file(e.pool, f));
  proc_svc.ap_exec = ap_double;
  PiInvoc w = abc_invoc("ACT", 4);
  ASSERT_EQ(pi_run(&w), 2);  // the module is cached now
  add_cfi("ACT", 4, f, [](EmCfi* r, EmHeader*) {
    r->rec_ira = kAreas - 1;
    r->ctl_ira = kAreas;
  });
  bool checked = false;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    checked = true;
    auto* fca = reinterpret_cast<PiFileCtl*>(p->area_addr.get()[kAreas].get());
    EXPECT_NE(fca->cfi.get(), nullptr);
    ASSERT_NE(fca->handle.get(), nullptr);
    EXPECT_EQ(fca->handle->rec.get(), p->area_addr.get()[kAreas - 1].get());
  };
  PiInvoc v = abc_invoc("ACT", 4);
  EXPECT_EQ(pi_run(&v), 2);
  EXPECT_TRUE(checked);
  EXPECT_EQ(pi_pcb_count(), 0u);
}

// Makes the ATRIBUTE file of an owner (as the dictionary tools would).
void make_prop_file(const char* app, const char* db) {
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb f;
  INIT_DPROP_FDB(&f, kdb, sdb);
  f.app.set(app);
  f.ver.set("00");
  f.db.set(db);
  f.path_type = FM_PT_DATA;
  EXPECT_EQ(FM_CREATE(&f, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
  FM_CLOSE(f.handle.get(), 0);
  mm_destroy_pool(pool);
}

std::string val(const std::string& s) {
  std::string v(256, ' ');
  v.replace(0, s.size(), s);
  return v;
}

TEST_F(Pi, PropertiesStoreReplaceDeleteAndMove) {
  EXPECT_EQ(pi_get_prop_arb("ABC", "00", nullptr, com.base_scope), nullptr);  // no file yet
  make_prop_file("ABC", "");
  FmArb* h = pi_get_prop_arb("ABC", "00", nullptr, com.base_scope);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(pi_get_prop_arb("ABC", "00", "   ", com.base_scope), h);  // cached
  char v[256];
  std::memset(v, 'x', sizeof v);
  EXPECT_EQ(pi_get_prop(h, "USER    ", "USR", 3, "DEF LANG ID", v), 0);
  EXPECT_EQ(std::string(v, 256), val(""));
  EXPECT_EQ(pi_put_prop(h, "USER    ", "USR", 3, "DEF LANG ID", val("FRA").c_str()), 1);
  EXPECT_EQ(pi_put_prop(h, "USER    ", "USR", 3, "COLOUR", val("blue").c_str()), 1);
  EXPECT_EQ(pi_put_prop(h, "USER    ", "USR", 3, "DEF LANG ID", val("DEU").c_str()), 1);
  ASSERT_EQ(pi_get_prop(h, "USER    ", "USR", 3, "DEF LANG ID", v), 1);
  EXPECT_EQ(std::string(v, 3), "DEU");
  // Blank deletes, also when there is nothing to delete.
  EXPECT_EQ(pi_put_prop(h, "USER    ", "USR", 3, "COLOUR", val("").c_str()), 1);
  EXPECT_EQ(pi_get_prop(h, "USER    ", "USR", 3, "COLOUR", v), 0);
  EXPECT_EQ(pi_put_prop(h, "USER    ", "USR", 3, "COLOUR", val("").c_str()), 1);
  EXPECT_EQ(pi_del_prop(h, "USER    ", "USR", 3, "NOTHING"), 1);
  // Renaming the object moves its properties, and only its own ("UST"
  // follows it in the file).
  EXPECT_EQ(pi_put_prop(h, "USER    ", "USR", 3, "A", val("1").c_str()), 1);
  EXPECT_EQ(pi_put_prop(h, "USER    ", "UST", 3, "B", val("2").c_str()), 1);
  EXPECT_EQ(pi_move_prop(h, "USER    ", "NEW", 3, "", "USR"), 1);
  EXPECT_EQ(pi_get_prop(h, "USER    ", "UST", 3, "B", v), 1);
  EXPECT_EQ(pi_get_prop(h, "USER    ", "NEW", 3, "B", v), 0);
  EXPECT_EQ(pi_get_prop(h, "USER    ", "USR", 3, "DEF LANG ID", v), 0);
  ASSERT_EQ(pi_get_prop(h, "USER    ", "NEW", 3, "DEF LANG ID", v), 1);
  EXPECT_EQ(std::string(v, 3), "DEU");
  EXPECT_EQ(pi_get_prop(h, "USER    ", "NEW", 3, "A", v), 1);
  EXPECT_EQ(pi_get_prop(nullptr, "USER    ", "NEW", 3, "A", v), 0);
}

// A move whose write under the new name fails keeps the value under its
// old name; a move to the name it has keeps every value.
namespace failing {
FmHandlers table;
int write_new(FmArb* req, FmArb* strm) {
  const uint8_t* r = req->rec.get();
  if (r && std::memcmp(r + offsetof(DAtribute, object), "NEW", 3) == 0) {
    req->status = FM_ST_SYS;
    return 0;
  }
  return fm_backend(FM_BE_NATIVE)->write(req, strm);
}
}  // namespace failing

TEST_F(Pi, AMoveKeepsTheValueUnderItsOldNameWhenTheWriteFails) {
  make_prop_file("ABC", "");
  pi_prop_reset();
  FmArb* h = pi_get_prop_arb("ABC", "00", nullptr, com.base_scope);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(pi_put_prop(h, "USER    ", "USR", 3, "A", val("1").c_str()), 1);
  ASSERT_EQ(pi_put_prop(h, "USER    ", "USR", 3, "B", val("2").c_str()), 1);
  EXPECT_EQ(pi_move_prop(h, "USER    ", "USR", 3, "", "USR"), 1);
  char v[256];
  ASSERT_EQ(pi_get_prop(h, "USER    ", "USR", 3, "A", v), 1);
  EXPECT_EQ(std::string(v, 1), "1");
  failing::table = *fm_backend(FM_BE_NATIVE);
  failing::table.write = failing::write_new;
  fm_set_handlers(h, &failing::table);
  char failed[14];
  EXPECT_EQ(pi_move_prop(h, "USER    ", "NEW", 3, "", "USR", failed), 0);
  EXPECT_EQ(std::string(failed, 14), "A             ");  // the property that stopped the move
  fm_set_handlers(h, fm_backend(FM_BE_NATIVE));
  for (const char* p : {"A", "B"}) {
    ASSERT_EQ(pi_get_prop(h, "USER    ", "USR", 3, p, v), 1) << p;
    EXPECT_EQ(std::string(v, 1), p[0] == 'A' ? "1" : "2");
    EXPECT_EQ(pi_get_prop(h, "USER    ", "NEW", 3, p, v), 0) << p;
  }
}

TEST_F(Pi, LanguageOfTheRunByItsSources) {
  make_prop_file("0SA", "");
  pi_prop_reset();
  FmArb* sa = pi_get_prop_arb("0SA", "00", nullptr, com.base_scope);
  ASSERT_NE(sa, nullptr);
  Pcb key{};
  key.invoc = abc_invoc("SUB", 6);
  // Nothing set: blanks.
  dflt_lang(&key, nullptr, "   ");
  EXPECT_EQ(key.lang.view(), "   ");
  // The system's, then the database's over it, the user's over all; "0"
  // counts as unset.
  ASSERT_EQ(pi_put_prop(sa, "SYSPARM ", "", 0, "DEF LANG ID", val("SYS").c_str()), 1);
  ASSERT_EQ(pi_put_prop(sa, "DATABASE", "DB1", 3, "DEF LANG ID", val("DBL").c_str()), 1);
  ASSERT_EQ(pi_put_prop(sa, "USER    ", "USR", 3, "DEF LANG ID", val("0").c_str()), 1);
  pi_prop_reset();
  dflt_lang(&key, nullptr, "   ");
  EXPECT_EQ(key.lang.view(), "SYS");
  dflt_lang(&key, nullptr, "DB1");
  EXPECT_EQ(key.lang.view(), "DBL");
  EXPECT_EQ(com.language.view(), "DBL");
  sa = pi_get_prop_arb("0SA", "00", nullptr, com.base_scope);
  ASSERT_EQ(pi_put_prop(sa, "DBXAP   ", "DB1ABC", 6, "DEF LANG ID", val("DXA").c_str()), 1);
  ASSERT_EQ(pi_put_prop(sa, "USER    ", "USR", 3, "DEF LANG ID", val("USL").c_str()), 1);
  pi_prop_reset();
  dflt_lang(&key, nullptr, "DB1");
  EXPECT_EQ(key.lang.view(), "USL");
  sa = pi_get_prop_arb("0SA", "00", nullptr, com.base_scope);
  ASSERT_EQ(pi_put_prop(sa, "USER    ", "USR", 3, "DEF LANG ID", val("").c_str()), 1);
  pi_prop_reset();
  dflt_lang(&key, nullptr, "DB1");
  EXPECT_EQ(key.lang.view(), "DXA");
}

// A key constraint handed down: where it goes in the record, how long it
// is, where its value starts among the values, and whether it is in use.
struct Cns {
  uint16_t offset, length;
  uint32_t value_at;
  bool in_use;
};

// Runs SUB with the constraints over `values` in both modes (0 given, 1
// automatic): what pi_set_cns leaves in a record of rec_len bytes (and the
// 4 bytes after it), all '.' before.
std::array<std::string, 2> place_cns(Engine& e, const std::vector<Cns>& cns, const char* values, size_t rec_len) {
  size_t n = cns.size(), nv = std::strlen(values);
  auto* pos = static_cast<FmCns*>(MM_ALLOC(e.pool, sizeof(FmCns) * n));
  auto* desc = static_cast<PiCnsDesc*>(MM_ALLOC(e.pool, sizeof(PiCnsDesc) * n));
  auto* vals = static_cast<uint8_t*>(MM_ALLOC(e.pool, nv));
  std::memset(static_cast<void*>(pos), 0, sizeof(FmCns) * n);
  std::memset(static_cast<void*>(desc), 0, sizeof(PiCnsDesc) * n);
  std::memcpy(vals, values, nv);
  for (size_t i = 0; i < n; ++i) {
    pos[i].offset = cns[i].offset;
    pos[i].length = cns[i].length;
    desc[i].value_at = cns[i].value_at;
    desc[i].length = cns[i].length;
    desc[i].in_use = cns[i].in_use ? 1 : 0;
  }
  std::array<std::string, 2> seen;
  for (int autom = 0; autom < 2; ++autom) {
    g_eps.hook = [&](Pcb* p, int ep) {
      if (ep != 1) return;
      std::vector<uint8_t> rec(rec_len + 4, '.');
      pi_set_cns(p, rec.data(), uint32_t(rec_len));
      seen[size_t(autom)] = std::string(rec.begin(), rec.end());
    };
    PiInvoc v = abc_invoc("SUB", 6);
    v.cns_count = uint16_t(n);
    v.cns_positions.set(reinterpret_cast<uint8_t*>(pos));
    v.cns_descs.set(reinterpret_cast<uint8_t*>(desc));
    v.cns_values.set(vals);
    v.cns_total = uint16_t(nv);
    v.auto_mode = uint8_t(autom);
    EXPECT_EQ(pi_run(&v), 2);
  }
  return seen;
}

TEST_F(Pi, KeyConstraintsReachTheRecord) {
  define({{"SUB", 6}});
  // Given: both; automatic: only the one in use.
  auto seen = place_cns(e, {{3, 2, 0, false}, {10, 3, 2, true}}, "ABCDE", 20);
  EXPECT_EQ(seen[0], "...AB.....CDE...........");
  EXPECT_EQ(seen[1], "..........CDE...........");
}

// A constraint that ends exactly at the record's end is placed, one that
// ends a byte past it is not, nor one whose value ends a byte past the
// values handed down or whose value offset wraps 32 bits; in both modes.
TEST_F(Pi, KeyConstraintsAtTheRecordsEnd) {
  define({{"SUB", 6}});
  constexpr uint16_t kRec = 20;
  auto seen = place_cns(e, {{kRec - 3, 3, 3, true}, {kRec - 2, 3, 0, true}, {0, 3, 4, true}, {5, 3, 0xFFFFFFFEu, true}},
                        "ABCDEF", kRec);
  for (int autom = 0; autom < 2; ++autom)
    EXPECT_EQ(seen[size_t(autom)], std::string(kRec - 3, '.') + "DEF" + "....") << autom;
}

// Area 1 of each process as the test wants it: size, pass and receive bits.
struct Area1 {
  uint32_t size;
  uint8_t pass, recv;
};
std::map<std::string, Area1> g_area1;
int area1_compiler(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  auto it = g_area1.find(c->em->proc_name.str());
  if (ok && it != g_area1.end()) {
    auto* t = reinterpret_cast<EmAreaEntry*>(c->em->area_table.get());
    t[1].size = it->second.size;
    t[1].shr = it->second.pass;
    t[1].non_shr = it->second.recv;
  }
  return ok;
}

TEST_F(Pi, HandedDownAreaIsCopiedByTheSmallerSizeOrInitialised) {
  define({{"OLD", 4}, {"NEW", 6}, {"DEAF", 6}, {"BIG", 4}, {"SMALL", 6}});
  em_set_compiler(area1_compiler);
  // The caller's area 1 holds 16 bytes (an older dictionary), the child's 64;
  // DEAF does not receive at its process class. BIG's holds 64 bytes, its
  // child SMALL's 16.
  g_area1 = {{"OLD", {16, 0x10, 0x18}}, {"NEW", {64, 0x10, 0x18}}, {"DEAF", {64, 0x10, 0x12}},
             {"BIG", {64, 0x10, 0x18}}, {"SMALL", {16, 0x10, 0x18}}};
  std::map<std::string, std::string> got;
  int damaged = -1;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    uint8_t* a = p->area_addr.get()[1].get();
    std::string n = p->invoc.name.str();
    if (n == "OLD") std::memset(a, 'x', 16);
    else if (n == "BIG") std::memset(a, 'y', 64);
    else got[n] = std::string(reinterpret_cast<char*>(a), n == "SMALL" ? 16 : 64);
    if (n == "SMALL") damaged = mm_check_pool(pi_pool());
  };
  g_ap = [&](Pcb* p) {
    if (p->invoc.name == "BIG") {
      child(p, "SMALL", 6);
      return;
    }
    for (const char* n : {"NEW", "DEAF"}) {
      child(p, n, 6);
    }
    // NEW again (its PCB reused): what the caller holds now.
    got["NEW first"] = got["NEW"];
    std::memset(p->area_addr.get()[1].get(), 'z', 16);
    child(p, "NEW", 6);
  };
  EXPECT_EQ(run_ap("OLD", g_ap), 2);
  EXPECT_EQ(got["NEW first"], std::string(16, 'x') + std::string(48, '\0'));
  EXPECT_EQ(got["NEW"], std::string(16, 'z') + std::string(48, '\0'));
  EXPECT_EQ(got["DEAF"], std::string(64, '\0'));
  EXPECT_EQ(run_ap("BIG", g_ap), 2);
  EXPECT_EQ(got["SMALL"], std::string(16, 'y'));
  EXPECT_EQ(damaged, 0);  // nothing written past the child's area
  g_area1.clear();
}

// A predefined area is given only when the module's area holds its whole
// record: one byte short is refused, exactly its size accepted; area
// numbers 0 and past the module's count have none.
TEST_F(Pi, APredefinedAreaIsGivenOnlyWhenItHoldsTheWholeRecord) {
  define({{"SHORT", 6}, {"EXACT", 6}});
  em_set_compiler(area1_compiler);
  g_area1 = {{"SHORT", {uint32_t(sizeof(PdArea1) - 1), 0, 0}}, {"EXACT", {uint32_t(sizeof(PdArea1)), 0, 0}}};
  std::map<std::string, uint8_t*> given;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    given[p->invoc.name.str()] = reinterpret_cast<uint8_t*>(pi_area_rec<PdArea1>(p, 1));
    if (p->invoc.name == "EXACT") {
      EXPECT_EQ(given["EXACT"], p->area_addr.get()[1].get());
      EXPECT_EQ(pi_area(p, kAreas, 64), p->area_addr.get()[kAreas].get());
      EXPECT_EQ(pi_area(p, kAreas, 65), nullptr);
      EXPECT_EQ(pi_area(p, kAreas + 1, 1), nullptr);
      EXPECT_EQ(pi_area(p, 0, 1), nullptr);
    }
  };
  for (const char* n : {"SHORT", "EXACT"}) EXPECT_EQ(pi_run(n, 6), 2) << n;
  EXPECT_EQ(given["SHORT"], nullptr);
  EXPECT_NE(given["EXACT"], nullptr);
  g_area1.clear();
}

// The shared-area record of an owner: created with the module's count of
// the class, grown when asked for exactly one more slot (its slots kept),
// never shrunk nor made again for the same count; an application the
// module does not use, or a class past the last, gets none.
TEST_F(Pi, ASharedAreaRecordGrowsByExactlyOneSlot) {
  define({{"SUB", 6}});
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    EmHeader* em = p->module.get();
    Pcb* owner = e.pcb("OWNER");
    constexpr int kCls = 12;
    SaaRec* r = pi_get_saa(em, "ABC", owner, kCls);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->count, 0u);  // the module's count of the class
    r = pi_get_saa(em, "ABC", owner, kCls, 3);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->count, 3u);
    r->slots()[3].size = 77u;
    EXPECT_EQ(pi_get_saa(em, "ABC", owner, kCls, 3), r);
    SaaRec* g = pi_get_saa(em, "ABC", owner, kCls, 4);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->count, 4u);
    EXPECT_EQ(g->slots()[3].size, 77u);
    EXPECT_EQ(g->slots()[4].size, 0u);
    EXPECT_EQ(pi_get_saa(em, "ABC", owner, kCls, 2), g);
    auto owned = pi_saa_owned(owner, kCls);
    ASSERT_EQ(owned.size(), 1u);
    EXPECT_EQ(owned[0]->count, 4u);
    SysErrCapture cap(SysErrAnswer::Continue);
    EXPECT_EQ(pi_get_saa(em, "XYZ", owner, kCls), nullptr);
    EXPECT_EQ(pi_get_saa(em, "ABC", owner, kSaaClasses), nullptr);
    EXPECT_EQ(cap.count(), 2u);
  };
  EXPECT_EQ(pi_run("SUB", 6), 2);
}

TEST_F(Pi, ReplacingCallerOfAnotherFamilyHandsItsAreasOver) {
  define({{"PAR", 4}, {"KID", 6}});
  uint8_t* par8 = nullptr;
  uint8_t* kid8 = nullptr;
  std::string kid8_text;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    uint8_t* a8 = p->area_addr.get()[8].get();
    if (p->invoc.name == "PAR") {
      par8 = a8;
      std::memset(a8, 'p', 64);
    } else {
      kid8 = a8;
      EXPECT_EQ(pi_pcb_count(), 1u);  // the replaced caller's family is gone already
      EXPECT_EQ(p->area_owner[8].get(), p);  // taken over, not borrowed
      EXPECT_EQ(p->area_owner[4].get(), p);  // not shared with a RELATED child: its own
      kid8_text = std::string(reinterpret_cast<char*>(a8), 64);
    }
  };
  bool replaced = false;
  g_ap = [&](Pcb* p) {
    if (p->invoc.name == "KID" || replaced) return;
    replaced = true;
    PiInvoc k = abc_invoc("KID", 6, 1, p);  // RELATED: class 0 shares 8 and 12
    k.caller_mode = 2;
    pi_exec(&k);
  };
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  EXPECT_EQ(kid8, par8);
  EXPECT_EQ(kid8_text, std::string(64, 'p'));
  EXPECT_EQ(pi_pcb_count(), 0u);
}

TEST_F(Pi, ExecutorScriptText) {
  define({{"ACT", 4}, {"INP", 2}});
  EXPECT_EQ(proc_exec_script_text("4:24,2:3"), 1);
  PiInvoc a = abc_invoc("ACT", 4);
  EXPECT_EQ(pi_run(&a), 24);
  EXPECT_EQ(pi_run("INP", 2), 3);
  EXPECT_EQ(count("ip_setup"), 1);
  EXPECT_EQ(count("ip_exec"), 1);
  EXPECT_EQ(count("ip_cleanup"), 1);
  proc_exec_script_clear();
  for (const char* bad : {"4", "11:2", "4:0", "4:2;", "x:1", "4:2,"}) {
    EXPECT_EQ(proc_exec_script_text(bad), std::string(bad) == "4:2," ? 1 : 0) << bad;
  }
  EXPECT_EQ(pi_run("ACT", 4), 2);
}

// Records in the SAA file of a class.
size_t saa_records(int c) {
  FmArb* f = pi_saa_file(c);
  if (!f) return 0;
  f->key_no = 0;
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = FM_OP_FAST;
  size_t n = 0;
  while (fm_rdnxt_fast(f, 0)) ++n;
  f->op = 0;
  return n;
}

// MID's module leaves area 4 of class 4 out: its entry 4 is area 9.
int mid_compiler(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  if (ok && c->em->proc_name == "MID") reinterpret_cast<EmAreaEntry*>(c->em->area_table.get())[4].number = 9u;
  return ok;
}

TEST_F(Pi, SharedAreaReachesGrandchildrenThroughACallerThatNeverReferencesIt) {
  define({{"TOP", 4}, {"MID", 4}, {"KID", 6}, {"SIB", 6}});
  em_set_compiler(mid_compiler);
  std::map<std::string, uint8_t*> a4;
  std::map<std::string, std::string> text;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    std::string n = p->invoc.name.str();
    uint8_t* a = p->area_addr.get()[4].get();
    a4[n] = a;
    text[n] = std::string(reinterpret_cast<char*>(a), 8);
    if (n == "TOP") std::memset(a, 't', 64);
    if (n == "MID") std::memset(a, 'm', 64);  // its own area 9 of the class
    if (n == "KID") std::memset(a, 'k', 8);
  };
  g_ap = [&](Pcb* p) {
    if (p->invoc.name == "TOP") {
      child(p, "MID", 4);
    } else if (p->invoc.name == "MID") {
      for (const char* n : {"KID", "SIB"}) {
        child(p, n, 6);
      }
    }
  };
  EXPECT_EQ(run_ap("TOP", g_ap), 2);
  // Class 4 reaches every SUBPROCESS of class 0: the grandchildren hold
  // TOP's area although MID between them has no area 4 of the class.
  EXPECT_NE(a4["MID"], a4["TOP"]);
  EXPECT_EQ(a4["KID"], a4["TOP"]);
  EXPECT_EQ(text["KID"], std::string(8, 't'));
  EXPECT_EQ(a4["SIB"], a4["TOP"]);
  EXPECT_EQ(text["SIB"], std::string(8, 'k'));
  EXPECT_EQ(pi_pcb_count(), 0u);
  for (int c = 0; c < kSaaClasses; ++c) EXPECT_EQ(saa_records(c), 0u) << c;
}

TEST_F(Pi, SaaLogNamesEveryRecordCreatedOrGrown) {
  std::string path = ::testing::TempDir() + "saa_log.txt";
  setenv("QUVO_SAA_LOG", path.c_str(), 1);
  ASSERT_EQ(pi_init(), 1);
  define({{"TOP", 4}, {"MID", 4}, {"KID", 6}});
  em_set_compiler(mid_compiler);
  g_ap = [&](Pcb* p) {
    if (p->invoc.name == "TOP") {
      child(p, "MID", 4);
    }
  };
  EXPECT_EQ(run_ap("TOP", g_ap), 2);
  unsetenv("QUVO_SAA_LOG");
  ASSERT_EQ(pi_init(), 1);  // closes the log
  std::FILE* f = std::fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::vector<std::string> lines;
  char buf[256];
  while (std::fgets(buf, sizeof buf, f)) lines.push_back(buf);
  std::fclose(f);
  std::remove(path.c_str());
  std::string top = "TOP" + std::string(27, ' ');
  // TOP's records: one per class of its areas, created by the lookup.
  EXPECT_EQ(lines.at(0), "(2)1 ABC 00 ABC " + top + " - cnt = 1\n");
  // MID's area 9 of class 4 grows TOP's record of the class.
  EXPECT_NE(std::find(lines.begin(), lines.end(), "(3)4 ABC 00 ABC " + top + " - cnt = 9\n"), lines.end());
  // MID owns the classes that a SUBPROCESS does not share (its own lookups).
  std::string mid = "MID" + std::string(27, ' ');
  EXPECT_NE(std::find(lines.begin(), lines.end(), "(2)1 ABC 00 ABC " + mid + " - cnt = 1\n"), lines.end());
}

// Area 4 (class 4) passed and received down to RELATED runs, at every level.
int passing4_compiler(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  if (ok) {
    auto* t = reinterpret_cast<EmAreaEntry*>(c->em->area_table.get());
    t[4].shr = 0x20;
    t[4].non_shr = 0x28;
  }
  return ok;
}

TEST_F(Pi, ReplacingChildTakesOverAnAreaItDoesNotShare) {
  define({{"PAR", 4}, {"KID", 6}});
  em_set_compiler(passing4_compiler);
  uint8_t* par4 = nullptr;
  uint8_t* kid4 = nullptr;
  std::string kid4_text;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    uint8_t* a4 = p->area_addr.get()[4].get();
    if (p->invoc.name == "PAR") {
      par4 = a4;
      std::memset(a4, 'p', 64);
      return;
    }
    kid4 = a4;
    kid4_text = std::string(reinterpret_cast<char*>(a4), 64);
    // The caller's area is this child's now (its own is a copy): the child
    // frees it, the replaced caller (gone by now) did not.
    auto kid = pi_saa_owned(p, 4);
    ASSERT_EQ(kid.size(), 1u);
    EXPECT_EQ(kid[0]->slots()[4].handed.get(), par4);
    EXPECT_EQ(kid[0]->slots()[4].pass & 3, 2);
    EXPECT_EQ(kid[0]->slots()[4].received, 1);
  };
  bool replaced = false;
  g_ap = [&](Pcb* p) {
    if (p->invoc.name == "KID" || replaced) return;
    replaced = true;
    PiInvoc k = abc_invoc("KID", 6, 1, p);  // RELATED: class 4 is not shared
    k.caller_mode = 2;
    pi_exec(&k);
  };
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  EXPECT_NE(kid4, par4);
  EXPECT_EQ(kid4_text, std::string(64, 'p'));
  EXPECT_EQ(pi_pcb_count(), 0u);
  for (int c = 0; c < kSaaClasses; ++c) EXPECT_EQ(saa_records(c), 0u) << c;
  // Every area went with the child that held it last: a second run leaves
  // the pool as the first did.
  size_t live = mm_pool_live(pi_pool());
  replaced = false;
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  EXPECT_EQ(mm_pool_live(pi_pool()), live);
}

// The last area of the table private to its process (kind 2): never shared,
// even in a class shared with a SUBPROCESS, and freed with its PCB.
int private_last_compiler(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  if (ok) reinterpret_cast<EmAreaEntry*>(c->em->area_table.get())[kAreas].kind = 2;
  return ok;
}

TEST_F(Pi, APrivateAreaIsTheProcesssOwnAndGoesWithIt) {
  define({{"PAR", 4}, {"KID", 6}});
  em_set_compiler(private_last_compiler);
  std::map<std::string, uint8_t*> seen;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep == 1) seen[p->invoc.name.str()] = p->area_addr.get()[kAreas].get();
  };
  g_ap = [&](Pcb* p) { child(p, "KID", 6); };
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  ASSERT_NE(seen["PAR"], nullptr);
  ASSERT_NE(seen["KID"], nullptr);
  EXPECT_NE(seen["PAR"], seen["KID"]);
  size_t live = mm_pool_live(pi_pool());
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  EXPECT_EQ(mm_pool_live(pi_pool()), live);
  EXPECT_EQ(pi_pcb_count(), 0u);
}

// ------------------------------------------------------ the PCB tables --
// Modules with compiled frames, images, items and children: two frames
// (the second scrolls; "TWO" has a second scrolling frame), two images,
// items 1-2 and an item numbered above the count, two children.
int tables_compiler(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  if (!ok) return ok;
  EmHeader* em = c->em;
  bool two = em->proc_name == "TWO";
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(em->pool, 512));
  auto put = [&](FmArb* f, size_t len) {
    PROTO_FULL(f, 0, buf);
    EXPECT_EQ(fm_write(f), 1);
    std::memset(buf, 0, len);
  };
  std::memset(buf, 0, 512);
  for (uint32_t s = 1; s <= 2; ++s) {
    auto& r = rec::view<EmCfrm>(buf);
    r.seq = s;
    r.number = 10 * s;
    r.mode = 1;  // (as every compiled frame has one, and its entries)
    for (auto& e : r.eps) e = 0xFFFFu;
    r.scroll = uint8_t(s == 2 || two ? 1 : 0);
    put(em->cfrm.get(), sizeof(EmCfrm));
  }
  for (uint32_t s = 1; s <= 2; ++s) {
    auto& r = rec::view<EmCimg>(buf);
    r.seq = s;
    r.frame_seq = 1u;
    r.image_no = uint8_t(s);
    r.rows = 4;
    r.cols = 10;
    for (auto& e : r.eps) e = 0xFFFFu;
    r.tot_ep = 0xFFFFu;
    put(em->cimg.get(), sizeof(EmCimg));
  }
  for (uint16_t s = 1; s <= 3; ++s) {
    auto& r = rec::view<EmCitm>(buf);
    r.wm.handle = 1u;
    r.wm.row = int32_t(s);
    r.wm.col = 1;
    r.item_no = s;
    r.flag = uint8_t(s == 2 ? 1 : 0);
    r.app.set("ABC");
    r.range_ep = 0xFFFFu;
    put(em->citm.get(), sizeof(EmCitm));
  }
  for (uint32_t s = 1; s <= 2; ++s) {
    auto& r = rec::view<EmCchld>(buf);
    r.seq = s;
    r.frame_seq = 1u;
    r.child_no = 100 + s;
    r.eps[0] = r.eps[1] = 0xFFFFu;
    put(em->cchld.get(), sizeof(EmCchld));
  }
  mm_free(buf);
  em->n_frames = uint16_t(2);
  em->n_images = uint16_t(2);
  em->n_items = uint16_t(2);
  em->n_children = uint16_t(2);
  return 1;
}

TEST_F(Pi, PcbTablesHoldTheCompiledRecordsAndGoWithThePcb) {
  define({{"PAR", 4}, {"INP", 2}, {"TWO", 2}, {"ACT", 4}});
  em_set_compiler(tables_compiler);
  std::vector<Pcb*> inp;
  int checked = 0;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    std::string n = p->invoc.name.str();
    if (n == "PAR") return;
    ++checked;
    PcbFrameEnt* f = p->frame_tbl.get();
    PcbImageEnt* im = p->image_tbl.get();
    PcbItemEnt* it = p->item_tbl.get();
    PcbChildEnt* ch = p->child_tbl.get();
    ASSERT_TRUE(f && im && it && ch);
    for (uint32_t s = 1; s <= 2; ++s) {
      ASSERT_NE(f[s].cfrm.get(), nullptr);
      EXPECT_EQ(f[s].cfrm->number.get(), 10 * s);
      ASSERT_NE(im[s].cimg.get(), nullptr);
      EXPECT_EQ(im[s].cimg->image_no, s);
      ASSERT_NE(it[s].citm.get(), nullptr);
      EXPECT_EQ(it[s].citm->item_no.get(), s);
      EXPECT_EQ(it[s].source, 0);
      EXPECT_EQ(it[s].pending, 0);
      ASSERT_NE(ch[s].cchld.get(), nullptr);
      EXPECT_EQ(ch[s].cchld->child_no.get(), 100 + s);
      EXPECT_EQ(ch[s].values.get(), nullptr);
      EXPECT_EQ(ch[s].len.get(), 0u);
    }
    EXPECT_EQ(it[1].carry, 0);
    EXPECT_EQ(it[2].carry, 1);
    if (n == "ACT") {
      // Only an Input process keeps a scrolling block.
      EXPECT_EQ(p->scroll_img.get(), nullptr);
      return;
    }
    PcbScroll* sb = p->scroll_img.get();
    ASSERT_NE(sb, nullptr);
    // The first scrolling frame's entry ("TWO": the second one is refused).
    EXPECT_EQ(sb->frame.get(), n == "TWO" ? &f[1] : &f[2]);
    if (n != "INP") return;
    inp.push_back(p);
    // What the input executor leaves in the block; a reuse starts afresh.
    EXPECT_EQ(sb->count.get(), 0u);
    EXPECT_EQ(sb->row.get(), 0u);
    EXPECT_EQ(sb->at_end, 0);
    EXPECT_EQ(sb->first.get(), nullptr);
    sb->count = 5u;
    sb->row = 3u;
    sb->at_end = 1;
    sb->no_more = 1;
    // A tag of the process pool, which the reset frees.
    auto* tag = static_cast<PcbTag*>(MM_ALLOC(pi_pool(), sizeof(PcbTag)));
    std::memset(static_cast<void*>(tag), 0, sizeof *tag);
    sb->first.set(tag);
    sb->last.set(tag);
  };
  g_ap = [&](Pcb* parent) {
    for (int i = 0; i < 2; ++i) {
      child(parent, "INP", 2);
    }
  };
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  ASSERT_EQ(inp.size(), 2u);
  EXPECT_EQ(inp[0], inp[1]);  // the same PCB, its block reset
  EXPECT_EQ(checked, 2);
  {
    SysErrCapture se(SysErrAnswer::Continue);
    PiInvoc t = abc_invoc("TWO", 2);
    pi_run(&t);
    ASSERT_EQ(se.count(), 1u);
    EXPECT_NE(se.last().find("pcb_iscroll already set"), std::string::npos) << se.last();
  }
  g_ap = nullptr;
  PiInvoc a = abc_invoc("ACT", 4);
  EXPECT_EQ(pi_run(&a), 2);
  EXPECT_EQ(checked, 4);
  // The tables go with their PCBs.
  g_eps.hook = nullptr;
  g_ap = [&](Pcb* parent) {
    child(parent, "INP", 2);
  };
  auto round = [&](int i) {
    PiInvoc r = abc_invoc(i % 2 ? "PAR" : "INP", i % 2 ? 4 : 2);
    pi_run(&r);
  };
  for (int i = 0; i < 100; ++i) round(i);
  size_t in_use = arena::in_use();
  for (int i = 0; i < 1000; ++i) round(i);
  EXPECT_EQ(arena::in_use(), in_use);
  EXPECT_EQ(pi_pcb_count(), 0u);
}

// ------------------------------------------------- memory-resident files --
// Area 8 (class 8: shared with SUBPROCESS and RELATED children of every
// process class) is the control area of a memory-resident file "MEMF" of
// class 8 whose reference the process opens when it starts.
int memfile_compiler(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  if (ok) {
    auto* t = reinterpret_cast<EmAreaEntry*>(c->em->area_table.get());
    t[8].kind = 1;
    t[8].size = uint32_t(sizeof(PiFileCtl));
  }
  return ok;
}

// The INITIAL and NULL images of "MEMF" in the dictionary (the loader
// caches them for every file a module refers to).
void memfile_images() {
  std::vector<fx::Rec> recs;
  for (uint8_t kind = 1; kind <= 2; ++kind) {
    fx::Rec r(13 + 16, ' ');
    std::memcpy(r.data(), "MEMF    ", 8);
    r[8] = kind;
    rec::view<rec::U32>(r.data() + 9) = 1u;
    recs.push_back(r);
  }
  ASSERT_EQ(fx::write("INITIAL", "ABC", "00", recs), 2);
}

// The records of a keyless 16-byte file, their first bytes up to a blank.
std::string records(FmArb* h, uint8_t* buf) {
  std::string out;
  PROTO_FULL(h, 0, buf);
  h->op = FM_OP_FIRST;
  fm_start(h);
  h->op = 0;
  while (fm_rdnxt(h) == 1) {
    std::string s(reinterpret_cast<char*>(buf), 16);
    out += s.substr(0, s.find(' ')) + ";";
  }
  return out;
}
void add(FmArb* h, uint8_t* buf, const char* text) {
  std::memset(buf, ' ', 16);
  std::memcpy(buf, text, std::strlen(text));
  PROTO_FULL(h, 0, buf);
  EXPECT_EQ(fm_write(h), 1);
}

TEST_F(Pi, IndependentRunGetsItsOwnCopyOfASharedMemoryFile) {
  define({{"PAR", 4}, {"KID", 6}, {"IND", 6}});
  for (const char* n : {"PAR", "KID", "IND"}) descs()[n].cfi = {memfile_cfi()};
  em_set_compiler(memfile_compiler);
  memfile_images();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(e.pool, 16));
  std::map<std::string, std::string> seen;
  std::map<std::string, PiFileCtl> fcas;
  std::map<std::string, int> scopes;
  FmArb* mine = nullptr;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    std::string n = p->invoc.name.str();
    scopes[n] = p->pool_scope;
    auto* fca = reinterpret_cast<PiFileCtl*>(p->area_addr.get()[8].get());
    fcas[n] = *fca;
    if (n == "PAR") {
      // The caller makes the file in its pool scope (its start found none).
      EXPECT_EQ(fca->handle.get(), nullptr);
      FmFdb f = memfile_cfi().fdb;
      ASSERT_EQ(FM_CREATE(&f, p->pool_scope, 0, 0, 15, 15), 1) << f.status;
      mine = f.handle.get();
      add(mine, buf, "P1");
      add(mine, buf, "P2");
      return;
    }
    // A child's start opened the file its scope sees into its control area.
    FmArb* h = fca->handle.get();
    ASSERT_NE(h, nullptr);
    seen[n] = records(h, buf);
    add(h, buf, n == "KID" ? "K1" : "I1");
    if (n == "IND") seen["IND own"] = records(h, buf);
  };
  g_ap = [&](Pcb* parent) {
    child(parent, "KID", 6);
    child(parent, "IND", 6, 0, true);
    seen["PAR after"] = records(mine, buf);
    // The copy went with the independent run's scope: a handle asking
    // from that scope now reaches the caller's file.
    FmFdb f = memfile_cfi().fdb;
    if (FM_OPEN(&f, scopes["IND"], 0, 1, 15)) {
      seen["after IND"] = records(f.handle.get(), buf);
      FM_CLOSE(f.handle.get(), 0);
    }
  };
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  // The SUBPROCESS shares the caller's file; the independent run works on
  // a copy of it as the caller had it, which goes with the run.
  EXPECT_EQ(seen["KID"], "P1;P2;");
  EXPECT_EQ(seen["IND"], "P1;P2;K1;");
  EXPECT_EQ(seen["IND own"], "P1;P2;K1;I1;");
  EXPECT_EQ(seen["PAR after"], "P1;P2;K1;");
  EXPECT_EQ(seen["after IND"], "P1;P2;K1;");
  // The control areas: memory-resident copies in the class owner's scope.
  EXPECT_GT(scopes["IND"], scopes["PAR"]);
  EXPECT_EQ(scopes["KID"], scopes["PAR"]);
  for (const char* n : {"PAR", "KID", "IND"}) {
    EXPECT_EQ(int(fcas[n].copy_mode), 2) << n;
    EXPECT_NE(fcas[n].cfi.get(), nullptr) << n;
  }
  EXPECT_EQ(int(fcas["KID"].owner_pool), scopes["PAR"]);
  EXPECT_EQ(int(fcas["IND"].owner_pool), scopes["IND"]);
  EXPECT_EQ(int(fcas["IND"].pool), scopes["IND"]);
  EXPECT_EQ(pi_pcb_count(), 0u);

  // Many runs leave the arena and the memory files as they were.
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep == 1 && p->invoc.name == "PAR") {
      FmFdb f = memfile_cfi().fdb;
      ASSERT_EQ(FM_CREATE(&f, p->pool_scope, 0, 0, 15, 15), 1) << f.status;
      mine = f.handle.get();
      add(mine, buf, "P1");
    }
  };
  g_ap = [&](Pcb* parent) {
    child(parent, "IND", 6, 0, true);
  };
  for (int r = 0; r < 50; ++r) run_ap("PAR", g_ap);
  size_t in_use = arena::in_use(), handles = fm_open_count(), files = fm_memfile_count();
  for (int r = 0; r < 500; ++r) run_ap("PAR", g_ap);
  EXPECT_EQ(arena::in_use(), in_use);
  EXPECT_EQ(fm_open_count(), handles);
  EXPECT_EQ(fm_memfile_count(), files);
}

// A caller without the file hands nothing down and nothing fails.
TEST_F(Pi, IndependentRunOfACallerWithoutTheFileCopiesNothing) {
  define({{"PAR", 4}, {"IND", 6}});
  for (const char* n : {"PAR", "IND"}) descs()[n].cfi = {memfile_cfi()};
  em_set_compiler(memfile_compiler);
  memfile_images();
  bool ran = false;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1 || p->invoc.name != "IND") return;
    ran = true;
    FmFdb f = memfile_cfi().fdb;
    EXPECT_EQ(FM_OPEN(&f, com.depth, 0, 1, 15), 0);
    auto* fca = reinterpret_cast<PiFileCtl*>(p->area_addr.get()[8].get());
    EXPECT_EQ(fca->handle.get(), nullptr);
  };
  g_ap = [&](Pcb* parent) {
    child(parent, "IND", 6, 0, true);
  };
  SysErrCapture se(SysErrAnswer::Cancel);
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  EXPECT_TRUE(ran);
  EXPECT_EQ(se.count(), 0u) << se.last();
}

// A caller's file of another structure than the compiled reference cannot
// be opened as the source: the system error names copy_fi and the run goes
// on without a copy.
TEST_F(Pi, CopyOfAFileOfAnotherStructureIsReported) {
  define({{"PAR", 4}, {"IND", 6}});
  EmCfi cfi = memfile_cfi();
  cfi.fdb.stamp[0] = 1u;
  cfi.fdb.stamp[1] = 2u;
  for (const char* n : {"PAR", "IND"}) descs()[n].cfi = {cfi};
  em_set_compiler(memfile_compiler);
  memfile_images();
  bool ran = false;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    if (p->invoc.name == "IND") {
      ran = true;
      return;
    }
    FmFdb f = memfile_cfi().fdb;
    f.stamp[0] = 3u;
    f.stamp[1] = 4u;
    ASSERT_EQ(FM_CREATE(&f, p->pool_scope, 0, 0, 15, 15), 1) << f.status;
  };
  g_ap = [&](Pcb* parent) {
    child(parent, "IND", 6, 0, true);
  };
  SysErrCapture se(SysErrAnswer::Continue);
  EXPECT_EQ(run_ap("PAR", g_ap), 2);
  EXPECT_TRUE(ran);
  ASSERT_EQ(se.count(), 1u);
  EXPECT_NE(se.last().find("copy_fi() - can't open source file"), std::string::npos) << se.last();
  EXPECT_NE(se.last().find(la_text(FM_ST_STRUCT)), std::string::npos) << se.last();
}

}  // namespace
