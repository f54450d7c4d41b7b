// File statements on a memory-resident file shared by class: run by the
// interpreter inside processes of the runner (the process fixture's
// compiler gives each its code), a child's CREATE makes the file in its
// class owner's scope, where the caller then finds it; a record the
// security check refuses is never left held; a failing statement leaves
// its status's text in ii_fi_msg.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/la.h"
#include "language/ibfi.h"
#include "language/ibutil.h"
#include "language/iiutil.h"
#include "process/pi_fixture.h"

namespace {

using namespace pitest;

constexpr uint32_t kCtl = 8, kRec = 6;   // the file's control area and record area
constexpr uint32_t kLevel1 = 10;

// Area 8 (class 8: shared with SUBPROCESS children) is the control area of
// the memory-resident file "MEMF", area 6 its 16-byte record.
int memfile_compiler(EmCmplCtx* c) {
  int ok = fixture_compiler(c);
  if (ok) {
    auto* t = reinterpret_cast<EmAreaEntry*>(c->em->area_table.get());
    t[kCtl].kind = 1;
    t[kCtl].size = uint32_t(sizeof(PiFileCtl));
  }
  return ok;
}

EmCfi memf() {
  EmCfi r = memfile_cfi();
  r.rec_ira = kRec;
  return r;
}

// The records of the file as the scope sees it; -1 when it has none. Their
// bytes into *recs when given.
int count_records(int scope, std::vector<std::string>* recs = nullptr) {
  FmFdb f = memf().fdb;
  f.fclass = FM_CLASS_MEMORY;
  if (!FM_OPEN(&f, scope, 0, 1, 15)) return -1;
  FmArb* h = f.handle.get();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), 16));
  PROTO_FULL(h, 0, buf);
  h->op = FM_OP_FIRST;
  fm_start(h);
  h->op = 0;
  int n = 0;
  while (fm_rdnxt(h) == 1) {
    ++n;
    if (recs) recs->emplace_back(reinterpret_cast<const char*>(buf), 16);
  }
  mm_free(buf);
  FM_CLOSE(h, 0);
  return n;
}

class FiMem : public PiFix {
 protected:
  void SetUp() override {
    ii_families_register();
    PiFix::SetUp();
    proc_svc.ii_proc_exec = ii_proc_exec;
    em_set_compiler(memfile_compiler);
    ASSERT_NO_FATAL_FAILURE(define({{"PAR", 4}, {"KID", 6}}));
    for (const char* n : {"PAR", "KID"}) descs()[n].cfi = {memf()};
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
  void TearDown() override {
    ii_fi_set_access_check(nullptr);
    PiFix::TearDown();
  }
};

// The child's CREATE and WRITEs reach the file of the class owner (the
// caller), which outlives the child; without the owner's scope the file
// would have gone with the child. WRITE writes the file's record area (here
// the child's last data area, its highest index).
TEST_F(FiMem, ChildCreatesTheClassOwnersFileWhichTheCallerReads) {
  constexpr uint32_t kLast = kAreas + 1;
  descs()["KID"].areas = kLast;
  descs()["KID"].cfi[0].rec_ira = kLast;
  descs()["KID"].code = [](IbCode* c) {
    bld_create(c, kLevel1, kCtl, '1', 0);
    ib_put(c, 762);  // the record area: "RECORD OF KID..."
    bld_write(c, kLevel1, kCtl, 0);
    bld_write(c, kLevel1, kCtl, 0);
  };
  test_op(762, 4, [](IlfExecBlock* b, IlfState*, uint8_t* pc) {
    std::memcpy(b->pcb->area_addr.get()[kAreas + 1].get(), "RECORD OF KID...", 16);
    return ii_adv(pc, 4);
  });
  int after = -2, kid = -1;
  std::vector<std::string> recs;
  EXPECT_EQ(run_ap("PAR", [&](Pcb* parent) {
              EXPECT_EQ(count_records(parent->pool_scope), -1);
              kid = child(parent, "KID", 6);
              after = count_records(parent->pool_scope, &recs);
            }),
            2);
  EXPECT_EQ(kid, 2);
  EXPECT_EQ(after, 2);
  EXPECT_EQ(recs, std::vector<std::string>(2, "RECORD OF KID..."));
}

// A record the security check refuses is let go: READNEXT with hold skips
// both records and ends with 200360, and neither stays held (another
// handle holds each at once); the status's text is ii_fi_msg.
TEST_F(FiMem, RefusedRecordsAreNotLeftHeld) {
  static int scope = 0;
  static uint32_t probed = 0;
  descs()["KID"].code = [](IbCode* c) {
    bld_create(c, kLevel1, kCtl, '1', 0);
    bld_write(c, kLevel1, kCtl, 0);
    bld_write(c, kLevel1, kCtl, 0);
    bld_readnext(c, kLevel1, kCtl, false, 0, 0, 0, FM_OP_HOLD, 0);
    uint8_t* p = ib_put(c, 760);   // the probe: both records held by another handle
    (void)p;
  };
  test_op(760, 4, [](IlfExecBlock*, IlfState*, uint8_t* pc) {
    FmFdb f = memf().fdb;
    f.fclass = FM_CLASS_MEMORY;
    probed = 0;
    if (!FM_OPEN(&f, scope, 0, 15, 15)) return ii_adv(pc, 4);
    FmArb* h = f.handle.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), 16));
    PROTO_FULL(h, 0, buf);
    h->op = FM_OP_FIRST;
    fm_start(h);
    for (;;) {
      h->op = FM_OP_HOLD;
      h->lock_wait = 0;
      if (fm_rdnxt(h) == 1) {
        ++probed;
      } else if (h->status != FM_ST_EOF) {
        probed += 100;   // still held by the READNEXT's handle
        continue;
      } else {
        break;
      }
    }
    h->op = 0;
    mm_free(buf);
    FM_CLOSE(h, 0);
    return ii_adv(pc, 4);
  });
  static int refused = 0;
  refused = 0;
  ii_fi_set_access_check([](Pcb*, const EmCfi*, const uint8_t*) {
    ++refused;
    return false;
  });
  EXPECT_EQ(run_ap("PAR", [&](Pcb* parent) {
              scope = parent->pool_scope;
              child(parent, "KID", 6);
            }),
            2);
  EXPECT_EQ(refused, 2);
  EXPECT_EQ(probed, 2u);
  size_t n = 0;
  const char* msg = ii_fi_msg(&n);
  char buf[256];
  LaText t{uint16_t(sizeof buf), buf};
  int sev = 0;
  size_t len = size_t(la_xlate(FM_ST_EOF, &t, &sev));
  while (len > 0 && buf[len - 1] == ' ') --len;
  EXPECT_EQ(std::string(msg, n), std::string(buf, std::min<size_t>(len, 79)));
  EXPECT_GT(n, 0u);
}

}  // namespace
