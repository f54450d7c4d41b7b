// The services table of the process manager: the stand-ins until the upper
// layers register, and a PCB's status record.
#include <gtest/gtest.h>

#include <cstring>

#include "files/dictrec.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "process/em.h"
#include "process/pcb.h"
#include "process/services.h"

namespace {

TEST(ProcSvc, StandInsUntilTheUpperLayersRegister) {
  proc_services_reset();
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  // rt_err: the message text of an ERROR DISPLAY record on standard error.
  auto* e = static_cast<ErrDisplay*>(MM_ALLOC(pool, sizeof(ErrDisplay)));
  std::memset(e, ' ', sizeof *e);
  e->msg_flag = 255;
  e->msg_text.set("Record locked by another user");
  testing::internal::CaptureStderr();
  proc_svc.rt_err(nullptr, e);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Record locked by another user\n");
  // The debugger is inactive and changes nothing.
  int option = 99;
  EXPECT_FALSE(proc_svc.dbg_init(nullptr, 0));
  EXPECT_FALSE(proc_svc.dbg_init(nullptr, 1));
  EXPECT_FALSE(proc_svc.dbg_chk_watches(nullptr));
  EXPECT_FALSE(proc_svc.dbg_stmt(nullptr, nullptr, &option));
  EXPECT_EQ(option, 0);
  proc_svc.dbg_cleanup(nullptr);
  // No statement text yet; no file cache: a field operand becomes null.
  EXPECT_EQ(proc_svc.se_gen_stmt(nullptr, nullptr, 0, 0), 0);
  EXPECT_EQ(proc_svc.cnv_token(nullptr, nullptr, 0), 0);
  rec::U32 operand;
  operand = 0x00100002;
  EXPECT_EQ(proc_svc.pl_cache_rloc(nullptr, &operand, 1), 0);
  EXPECT_EQ(operand.get(), 0u);
  // The runner's call of an event point runs nothing until the interpreter
  // registers.
  PiEpArg arg{nullptr, 1, -1};
  proc_svc.ii_proc_exec(&arg);
  EXPECT_EQ(arg.result, 0);
  // A replaced slot comes back with the reset.
  proc_svc.dbg_init = [](Pcb*, int) { return true; };
  proc_services_reset();
  EXPECT_FALSE(proc_svc.dbg_init(nullptr, 0));
  mm_destroy_pool(pool);
}

TEST(ProcSvc, StatusRecordIsArea7) {
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* em = static_cast<EmHeader*>(MM_ALLOC(pool, sizeof(EmHeader)));
  std::memset(em, 0, sizeof *em);
  auto* pcb = static_cast<Pcb*>(MM_ALLOC(pool, sizeof(Pcb)));
  std::memset(pcb, 0, sizeof *pcb);
  pcb->module.set(em);
  EXPECT_EQ(pcb_status(pcb), nullptr);  // no area table
  auto* areas = static_cast<Ref<uint8_t>*>(MM_ALLOC(pool, 4 * 9));
  std::memset(areas, 0, 4 * 9);
  auto* st = static_cast<uint8_t*>(MM_ALLOC(pool, 64));
  areas[7].set(st);
  pcb->area_addr.set(areas);
  em->n_areas = 6;
  EXPECT_EQ(pcb_status(pcb), nullptr);  // fewer areas than 7
  em->n_areas = 8;
  ASSERT_EQ(reinterpret_cast<uint8_t*>(pcb_status(pcb)), st);
  pcb_status(pcb)->option = 278;
  EXPECT_EQ(st[36] | st[37] << 8, 278);
  EXPECT_EQ(pcb_status(nullptr), nullptr);
  mm_destroy_pool(pool);
}

}  // namespace
