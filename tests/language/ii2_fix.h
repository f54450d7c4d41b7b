// A fixture for the statement families on hand-assembled code: the test
// assembler's module with a data area of fields reached through field
// indexes, every family registered, and a runner that reports how the event
// point ended.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/pd.h"
#include "language/ibcnv.h"
#include "language/ibctl.h"
#include "language/ibmath.h"
#include "language/ibtst.h"
#include "language/ibutil.h"
#include "language/ii_asm.h"
#include "language/iiutil.h"
#include "support/syserr.h"

namespace ii2 {

// Test handler: FLAG (96, 8 bytes, u32 tag at 4) records its tag.
constexpr uint16_t kOpFlag = 96;
inline std::vector<uint32_t>& flags() {
  static std::vector<uint32_t> v;
  return v;
}
inline uint8_t* h_flag(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  flags().push_back(rec::view<rec::U32>(pc + 4));
  (void)s;
  return ii_adv(pc, 8);
}

// The seed of the random cases (QUVO_II_SEED) and their number
// (QUVO_II_CASES, else dflt).
inline uint64_t seed() {
  const char* s = std::getenv("QUVO_II_SEED");
  return s ? std::strtoull(s, nullptr, 10) : 20261207;
}
inline long cases(long dflt) {
  const char* s = std::getenv("QUVO_II_CASES");
  return s ? std::atol(s) : dflt;
}

// Stores the number `text` in a calculation variable: 8 packed bytes and
// its scale in the ninth.
inline void set_pd(uint8_t* p, const char* text) {
  PdCva c{p, 8, 0};
  ASSERT_EQ(pd_cva(text, int(std::strlen(text)), '.', &c), 1) << text;
  p[8] = uint8_t(c.scale);
}

// The conversion item of a signed 4-byte binary of 6 digits shown in 8.
inline CvItem int4_item() {
  CvItem item;
  std::memset(&item, 0, sizeof item);
  item.type = 5;
  item.int_len = 4;
  item.sign = '1';
  item.digits = 6;
  item.ext_len = 8;
  item.mask.set("");
  return item;
}

inline CodeRef cref(uint16_t block, uint16_t offset) {
  CodeRef r;
  r.block = block;
  r.offset = offset;
  return r;
}
inline CodeRef no_code() { return cref(kNoCode, 0); }

class Fix : public ::testing::Test {
 protected:
  iitest::Module m;
  static constexpr int kFields = 512;
  static constexpr int kDataLen = 1 << 16;
  uint8_t* data = nullptr;
  Ref<uint8_t>* areas = nullptr;
  int next_ira = 8;
  int used = 0;
  uint32_t ira_one = 0, ira_zero = 0;  // logic fields '1' and '0' for set_tf

  void SetUp() override {
    bi_init_com();
    fms_init();
    proc_services_reset();
    ii_set_trace(nullptr);
    ii_families_register();
    ASSERT_EQ(ii_init(), 1);
    ii_set_pair(kOpFlag, h_flag);
    ii_math_set_switches(false, false);
    flags().clear();
    m.build();
    areas = static_cast<Ref<uint8_t>*>(MM_ALLOC(m.pool, 4 * (kFields + 1)));
    std::memset(areas, 0, 4 * (kFields + 1));
    areas[kPcbStatusArea] = m.areas[kPcbStatusArea];
    m.em->area_addr.set(areas);
    m.em->n_areas = kFields;
    m.pcb->area_addr.set(areas);
    data = static_cast<uint8_t*>(MM_ALLOC(m.pool, kDataLen));
    std::memset(data, 0, kDataLen);
  }
  void TearDown() override {
    proc_services_reset();
    fm_shutdown();
    m.destroy();
  }
  // A new field of len bytes (zeroed) and its field index.
  uint8_t* field(size_t len, uint32_t* ira) {
    size_t at = (size_t(used) + 15) & ~size_t(15);
    used = int(at + len);
    EXPECT_LE(used, kDataLen);
    uint8_t* p = data + at;
    *ira = uint32_t(next_ira++);
    if (*ira == kPcbStatusArea) *ira = uint32_t(next_ira++);
    EXPECT_LT(*ira, uint32_t(kFields));
    areas[*ira].set(p);
    return p;
  }
  // Starts code over in block 1 (the old code is overwritten).
  void restart() {
    m.code.block = 1;
    m.code.offset = 0;
    m.code.storage = MADDR(m.em->inst.get(), 1);
  }
  CodeRef here() { return ib_here(&m.code); }
  CodeRef flag(uint32_t tag) {
    CodeRef at;
    uint8_t* p = m.emit(kOpFlag, 8, &at);
    rec::view<rec::U32>(p + 4) = tag;
    return at;
  }
  void end() { bld_end(&m.code, false); }
  // Ends the statement and, when `ov` is an OVERFLOW emitted before it,
  // places its trap after the end: FLAG 1, then an end of its own.
  void end_trapped(uint8_t* ov) {
    end();
    if (!ov) return;
    CodeRef trap = flag(1);
    end();
    rec::view<IbLabel>(ov).label = trap;
  }
  // IF '1' = '1' (true) or '1' = '0' (false) into the truth mask at
  // `shift` (level n: 12 - 2n), as a generated test before a statement.
  void set_tf(uint32_t shift, bool value) {
    if (!ira_one) {
      field(1, &ira_one)[0] = '1';
      field(1, &ira_zero)[0] = '0';
    }
    bld_ira(&m.code, ira_one, 1);
    bld_ira(&m.code, value ? ira_one : ira_zero, 2);
    sc_gen_if_comp(&m.code, 504, shift, 1, 1, true);
  }
  // BEG LOOP over var from, to, step (field indexes; packed ones of 9
  // bytes) with control block lcb: the instruction, for end_loop.
  uint8_t* beg(bool binary, uint32_t var, uint32_t from, uint32_t to, uint32_t step, uint32_t lcb) {
    bld_ira(&m.code, var, 1);
    bld_ira(&m.code, from, 2);
    bld_ira(&m.code, to, 3);
    bld_ira(&m.code, step, 4);
    if (!binary)
      for (int r = 1; r <= 4; ++r) bld_addr_len(&m.code, r, 9);
    return bld_beg_loop(&m.code, binary, lcb);
  }
  // END LOOP var, and the loop's exit after it.
  void end_loop(bool binary, uint32_t var, uint32_t lcb, uint8_t* beg_inst) {
    bld_ira(&m.code, var, 1);
    if (!binary) bld_addr_len(&m.code, 1, 9);
    bld_end_loop(&m.code, binary, lcb);
    rec::view<IbBegLoop>(beg_inst).exit = here();
  }
  // Lets the run-time error handler note each message (a debugger that
  // takes the process and gives it back): last_err() is the last one.
  void watch_errors() {
    auto* d = static_cast<PcbDbg*>(MM_ALLOC(m.pool, sizeof(PcbDbg)));
    std::memset(d, 0, sizeof *d);
    m.pcb->dbg.set(d);
    proc_svc.dbg_init = [](Pcb*, int mode) { return mode == 1; };
  }
  uint32_t last_err() { return m.pcb->dbg ? m.pcb->dbg->err_msg.get() : 0; }
  // Runs the code at r as event point 21: the scope's completion code (1
  // when it ended normally), the block's result mask in *mask.
  int run(CodeRef r, uint32_t* mask = nullptr, int ep = 21) {
    IlfExecBlock b;
    int rc = ::mark(0, [&] { II_EXEC_MISC(m.pcb, ep, &b, iitest::Module::word(r)); });
    if (mask) *mask = b.result_mask;
    return rc;
  }
};

// Two 256-byte fields a and b, loaded into registers 1 and 2 ahead of the
// code under test; run-time errors noted (last_err).
class TwoFields : public Fix {
 protected:
  uint32_t ia = 0, ib = 0;
  uint8_t *fa = nullptr, *fb = nullptr;
  void SetUp() override {
    Fix::SetUp();
    fa = field(256, &ia);
    fb = field(256, &ib);
    watch_errors();
  }
  // Loads r1 = a, r2 = b, runs what build emits: the completion code.
  template <class F>
  int go(F build) {
    restart();
    bld_ira(&m.code, ia, 1);
    bld_ira(&m.code, ib, 2);
    build();
    end();
    m.pcb->dbg->err_msg = 0;
    return run(cref(1, 0));
  }
};

}  // namespace ii2
