// A tiny assembler for interpreter tests: a module with its INST, CNST, TOC
// and TRAP files, a PCB with an area address table, a status record and a
// message file, and instructions emitted through inst_alloc.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/mm.h"
#include "language/ib.h"
#include "language/ii.h"
#include "process/em.h"
#include "process/pcb.h"
#include "process/services.h"

namespace iitest {

inline FmArb* mem_file(const char* code, int rec_len, int var) {
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_MEMORY, rec_len, var, nullptr, 0);
  INIT_UNIQUE_PATH(&f, "EM", code, FM_PT_DATA);
  EXPECT_EQ(FM_CREATE(&f, 0, 0, 0, 15, 15), 1) << f.status;
  return f.handle.get();
}

struct Module {
  MmPool pool = 0;
  EmHeader* em = nullptr;
  Pcb* pcb = nullptr;
  IbCode code;
  Ref<uint8_t>* areas = nullptr;
  PcbStatus* status = nullptr;
  static constexpr int kAreas = 8;

  void build(const char* inst_code = "IN") {
    pool = mm_create_pool(nullptr, 0, 0);
    em = static_cast<EmHeader*>(MM_ALLOC(pool, sizeof(EmHeader)));
    std::memset(em, 0, sizeof *em);
    em->mark = kEmMark;
    em->pool = pool;
    for (auto& e : em->proc_eps) e = 0xFFFFu;  // no code
    FmFdb fi;
    INIT_INST_FDB(&fi);
    INIT_UNIQUE_PATH(&fi, "IN", inst_code, FM_PT_DATA);
    ASSERT_EQ(FM_CREATE(&fi, 0, 0, 0, 15, 15), 1) << fi.status;
    em->inst.set(fi.handle.get());
    em->cnst.set(mem_file("CN", 64, 1));
    em->toc.set(mem_file("TC", 12, 0));
    em->trap.set(mem_file("TR", 12, 0));
    em->n_areas = kAreas;
    areas = static_cast<Ref<uint8_t>*>(MM_ALLOC(pool, 4 * (kAreas + 1)));
    std::memset(areas, 0, 4 * (kAreas + 1));
    em->area_addr.set(areas);
    status = static_cast<PcbStatus*>(MM_ALLOC(pool, 64));
    std::memset(status, 0, 64);
    areas[kPcbStatusArea].set(reinterpret_cast<uint8_t*>(status));
    pcb = static_cast<Pcb*>(MM_ALLOC(pool, sizeof(Pcb)));
    std::memset(pcb, 0, sizeof *pcb);
    pcb->invoc.type = 4;
    pcb->invoc.app.set("ABC");
    pcb->invoc.name.set("TEST PROC");
    pcb->module.set(em);
    pcb->area_addr.set(areas);
    pcb->msg_file.set(la_create_fi(80, 0));
    ASSERT_EQ(ib_start(&code, em->inst.get()), 1);
  }
  void destroy() {
    if (pool) mm_destroy_pool(pool);
    pool = 0;
  }

  // Emits an instruction of op and size; its bytes.
  uint8_t* emit(uint16_t op, size_t size, CodeRef* where = nullptr) {
    uint8_t* p = inst_alloc(size, where, &code);
    EXPECT_NE(p, nullptr);
    rec::view<IbInst>(p).op = op;
    return p;
  }
  // Emits a 4-byte instruction of op.
  CodeRef op4(uint16_t op, uint8_t flags = 0) {
    CodeRef at;
    uint8_t* p = emit(op, 4, &at);
    rec::view<IbInst>(p).flags = flags;
    return at;
  }
  static uint32_t word(CodeRef r) { return uint32_t(r.block) | uint32_t(r.offset) << 16; }
  // Sets process event point ep to start at r.
  void proc_ep(int ep, CodeRef r) { em->proc_eps[ep - 1] = word(r); }
  uint8_t* at(CodeRef r) { return MADDR(em->inst.get(), r.block) + r.offset; }
};

}  // namespace iitest
