// Relocation of compiled operands.
//
// Compiled code keeps two kinds of 4-byte operands that become addresses
// when a module is made ready to run:
//   - a code reference {u16 block number, u16 byte offset}: the block is the
//     record of that number of the module's memory-resident INST file;
//     block 65535 is no code;
//   - a constant reference (u32): below 65000 the number of a record of the
//     module's constant file (CNST), 65000 or more the byte (value - 65000)
//     of the common block.
// Relocation rewrites the operand in place into a Ref<uint8_t> to that byte:
// the records of memory-resident files and the common block lie in the
// engine arena. An operand that cannot be relocated becomes null, so that it
// is never taken for an address.
#pragma once

#include <cstdint>

#include "foundation/mm.h"
#include "foundation/record.h"

struct FmArb;

// A code reference before relocation.
struct CodeRef {
  rec::U16 block;   // record number in the INST file, from 1; 65535 none
  rec::U16 offset;  // byte offset in the block
};
QV_RECORD(CodeRef, 4);
QV_AT(CodeRef, offset, 2);

constexpr uint16_t kNoCode = 65535;

// Relocates a code reference through the module's INST file (MADDR). 1; 0
// when the block is not in the file or the offset lies beyond it (the
// operand is then null). A reference to no code becomes null and gives 1.
int INST_RLOC(void* operand, FmArb* inst);

// Relocates a constant reference; cnst is the module's constant file. 1; 0
// when the record is not in the file or the common-block offset lies beyond
// the block (the operand is then null).
int CNST_RLOC(FmArb* cnst, void* operand);
