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
//
// The records of memory-resident files are the file manager's, a layer above
// this one: it gives their addresses through the hook macros_set_record when
// it starts (fm_serve_foundation). While no hook is set no record can be
// found: code references and constant records relocate to null (0), while
// references to no code and to the common block still relocate.
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

// The address of record rid of a memory-resident file and, in *len, its
// length; null when the file has no such record.
using MacrosRecord = uint8_t* (*)(FmArb* file, uint32_t rid, uint32_t* len);
void macros_set_record(MacrosRecord fn);

// Relocates a code reference through the module's INST file (MADDR). 1; 0
// when the block is not in the file or the offset lies beyond it (the
// operand is then null). A reference to no code becomes null and gives 1.
int INST_RLOC(void* operand, FmArb* inst);

// Relocates a constant reference; cnst is the module's constant file. 1; 0
// when the record is not in the file or the common-block offset lies beyond
// the block (the operand is then null).
int CNST_RLOC(FmArb* cnst, void* operand);
