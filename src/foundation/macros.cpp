// Relocation of compiled operands: see macros.h.
#include "foundation/macros.h"

#include "foundation/bi.h"

namespace {
MacrosRecord g_record = nullptr;

int relocate(void* operand, uint8_t* address) {
  rec::view<Ref<uint8_t>>(operand).set(address);
  return address != nullptr;
}

// Address of byte offset of record rid of a memory-resident file, null
// when there is no such record or the offset is not one of its bytes (an
// offset equal to the length is the byte after it).
uint8_t* record_byte(FmArb* file, uint32_t rid, uint32_t offset) {
  if (!file || rid == 0 || !g_record) return nullptr;
  uint32_t len = 0;
  uint8_t* rec = g_record(file, rid, &len);
  if (!rec || offset >= len) return nullptr;
  return rec + offset;
}
}  // namespace

void macros_set_record(MacrosRecord fn) { g_record = fn; }

int INST_RLOC(void* operand, FmArb* inst) {
  const CodeRef ref = rec::view<CodeRef>(operand);
  if (ref.block == kNoCode) return relocate(operand, nullptr), 1;
  return relocate(operand, record_byte(inst, ref.block, ref.offset));
}

int CNST_RLOC(FmArb* cnst, void* operand) {
  uint32_t key = rec::view<rec::U32>(operand);
  if (key >= uint32_t(kComCnstBase)) {
    uint32_t off = key - uint32_t(kComCnstBase);
    return relocate(operand, off < sizeof(ComArea) ? com_cnst(key) : nullptr);
  }
  return relocate(operand, record_byte(cnst, key, 0));
}
