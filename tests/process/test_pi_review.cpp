// Review cases of the data areas shared with a caller: an area made by a
// caller compiled against an older dictionary is never used as a larger
// one of the child.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "language/ii.h"
#include "process/em.h"
#include "process/emrec.h"
#include "pi_fixture.h"
#include "pl_fixture.h"
#include "process/piexec.h"
#include "process/pishr.h"
#include "support/syserr.h"

using namespace pltest;
using namespace pitest;

namespace {

// Area 4 (class 4, shared with a SUBPROCESS child) sized per process.
std::map<std::string, uint32_t> g_size4;
int size4_compiler(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  auto it = g_size4.find(c->em->proc_name.str());
  if (ok && it != g_size4.end()) reinterpret_cast<EmAreaEntry*>(c->em->area_table.get())[4].size = it->second;
  return ok;
}

// The runner's fixture with the executor double in place.
class PiReview : public PiFix {
 protected:
  void SetUp() override {
    PiFix::SetUp();
    proc_svc.ap_exec = ap_double;
  }
  void TearDown() override {
    g_size4.clear();
    PiFix::TearDown();
  }
};

// The caller's shared area 4 holds 16 bytes, the SUBPROCESS child's 64: the
// child must not get the 16-byte area as its 64-byte one (it would write past
// it); it ends with 4 and never runs, and the caller's area is untouched. A
// child compiled with the same or a smaller size shares the area.
TEST_F(PiReview, SharedAreaSmallerThanTheChildsIsRefused) {
  define({{"OLD", 4}, {"NEW", 6}, {"SAME", 6}});
  em_set_compiler(size4_compiler);
  g_size4 = {{"OLD", 16}, {"NEW", 64}, {"SAME", 8}};
  uint8_t* old4 = nullptr;
  std::map<std::string, uint8_t*> seen;
  int new_code = -1, same_code = -1;
  g_eps.hook = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    uint8_t* a = p->area_addr.get()[4].get();
    seen[p->invoc.name.str()] = a;
    if (p->invoc.name == "OLD") {
      old4 = a;
      std::memset(a, 'o', 16);
    } else {
      std::memset(a, 'n', g_size4[p->invoc.name.str()]);
    }
  };
  g_ap = [&](Pcb* p) {
    {
      SysErrCapture se(SysErrAnswer::Continue);
      new_code = child(p, "NEW", 6);
    }
    same_code = child(p, "SAME", 6);
  };
  EXPECT_EQ(pi_run("OLD", 4), 2);
  EXPECT_EQ(new_code, 4);
  EXPECT_EQ(seen.count("NEW"), 0u);
  EXPECT_EQ(same_code, 2);
  EXPECT_EQ(seen["SAME"], old4);
  EXPECT_EQ(pi_pcb_count(), 0u);
}

// A system error answered CANCEL while the process's files are opened ends
// the run with 3, as in every other phase: the process never runs on as if
// its files were open (here the error display of a required file that cannot
// be opened meets the system error).
TEST_F(PiReview, SystemErrorCancelledWhileOpeningFilesEndsTheRunWith3) {
  define({{"SUB", 6}});
  ASSERT_EQ(pi_run("SUB", 6), 2);  // the module is cached now
  add_cfi("SUB", 6, data_fdb("NOFILE"));
  g_eps.log.clear();
  auto keep = proc_svc.rt_err;
  proc_svc.rt_err = [](void*, const void*) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "error display fails");
    os_sys_err("TEST", 1);
  };
  SysErrCapture se(SysErrAnswer::Cancel);
  int code = pi_run("SUB", 6);
  proc_svc.rt_err = keep;
  EXPECT_EQ(code, 3);
  EXPECT_TRUE(g_eps.log.empty());  // no event point ran
  EXPECT_EQ(pi_pcb_count(), 0u);
}

// A caller replaced by a DETACHED process (caller mode 2) logs out in its
// event point 06 (with 24 or 25): the logout ends every level at once, the
// replacing process never starts, and its PCB does not stay behind.
TEST_F(PiReview, LogoutWhileBeingReplacedEndsTheChain) {
  define({{"PAR", 4}, {"KID", 6}});
  g_ap = [&](Pcb* parent) {
    child(parent, "KID", 6, 2, false, 2);
    ADD_FAILURE() << "the replacement returned to its caller";
  };
  for (int code : {24, 25}) {
    g_eps.log.clear();
    g_eps.code["PAR:6"] = code;
    EXPECT_EQ(pi_run("PAR", 4), code);
    EXPECT_EQ(std::count(g_eps.log.begin(), g_eps.log.end(), std::string("KID:1")), 0) << code;
    EXPECT_EQ(pi_pcb_count(), 0u);
  }
}

// A work area of 300 bytes whose field's initial value is the blank
// constant of the common block: blanks throughout, never the common block's
// bytes after its 256 blanks; a 10-byte one gets 10 blanks.
uint32_t g_work_size = 300;
int blank_work_compiler(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  if (!ok) return ok;
  EmHeader* em = c->em;
  auto* t = reinterpret_cast<EmAreaEntry*>(em->area_table.get());
  t[1].size = g_work_size;
  t[1].source = 2;
  auto* r = static_cast<EmCfld*>(MM_ALLOC(em->pool, sizeof(EmCfld)));
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->app.set("ABC");
  r->name.set("W300");
  r->occurs = 1;
  r->area = uint32_t(t[1].aclass) * 1000000u + t[1].number;
  r->k42 = uint16_t(kComCnstBase);
  PROTO_FULL(em->cfld.get(), 0, reinterpret_cast<uint8_t*>(r));
  EXPECT_EQ(fm_write(em->cfld.get()), 1);
  mm_free(r);
  return ok;
}

TEST_F(PiReview, LongWorkAreaInitialisedWithTheBlankConstantIsAllBlanks) {
  em_set_compiler(blank_work_compiler);
  define({{"W300", 6}, {"W10", 6}});
  for (uint32_t size : {300u, 10u}) {
    g_work_size = size;  // as the module is compiled at its first run
    std::string name = "W" + std::to_string(size);
    std::string got;
    g_eps.hook = [&](Pcb* p, int ep) {
      if (ep == 1) got.assign(reinterpret_cast<char*>(p->area_addr.get()[1].get()), size);
    };
    EXPECT_EQ(pi_run(name.c_str(), 6), 2);
    EXPECT_EQ(got, std::string(size, ' ')) << size;
  }
}

}  // namespace
