// Instructions and code blocks: the stored form of compiled 4GL code.
//
//   1. An instruction starts on a 4-byte boundary of a 2,024-byte block (a
//      record of the module's memory-resident INST file, numbered from 1, so
//      in the arena): a 4-byte header (IbInst) and its operands. Its length
//      is fixed per opcode (or given by one of its operands) by the opcode
//      table below; the interpreter advances by it rounded up to 4.
//   2. Code fills a block up to byte 2016 at most; the last 8 bytes are kept
//      for RLOC_BNB (464), a branch to offset 0 of the next block. No
//      instruction spans two blocks.
//   3. Every kind of instruction has two opcodes: the even one the compiler
//      writes, whose operands are stored references, and the odd one that
//      runs on relocated operands. The first run of an even opcode rewrites
//      each operand the table lists in place (a code reference or constant
//      or field index becomes a Ref<uint8_t> to its byte), runs the opcode's
//      one-time hook when it has one, adds 1 to the stored opcode and runs
//      the odd form.
//   4. An instruction address is a code reference {u16 block, u16 offset};
//      a relocated one is the arena reference of that byte. The per-module
//      table of block bases maps one to the other; addresses compare by
//      (block, offset), never as a little-endian word (ib_code_cmp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/macros.h"
#include "foundation/mm.h"
#include "foundation/record.h"

struct EmHeader;
struct FmArb;
struct FmFdb;
struct FmKdb;
struct FmSdb;

// ------------------------------------------------------------- records --
// Instruction header.
struct IbInst {
  rec::U16 op;      // opcode 0-780
  rec::U8 flags;    // kIbStmt | kIbBreak | kIbExtraStop | kIbOneShot
  rec::U8 zero;
};
QV_RECORD(IbInst, 4);
QV_AT(IbInst, flags, 2);
constexpr uint8_t kIbStmt = 1;       // first instruction of a statement (set by the debugger)
constexpr uint8_t kIbBreak = 2;      // breakpoint
constexpr uint8_t kIbExtraStop = 4;  // extra stop point of run-to-end
constexpr uint8_t kIbOneShot = 8;    // one-shot break, cleared when reached

constexpr int kIbBlockSize = 2024;
constexpr int kIbBlockFill = 2016;   // code ends at or before this byte
constexpr int kIbOps = 781;          // opcodes 0-780

// The chain instruction at the end of a filled block.
struct IbBnb {
  IbInst head;      // op 464 (465 once relocated)
  CodeRef next;     // {block + 1, 0}
};
QV_RECORD(IbBnb, 8);

// TOC record: one per compiled event point (TOC sub-file, 12 bytes).
struct IbToc {
  rec::U8 ep;          // event point code; 81 ('Q') the body of a Subroutine compiled for a COPY
  rec::U8 index;       // running number of the event point in the process compile
  rec::U16 owner;      // frame, image or child entry that owns it (81: the COPY entry)
  rec::U32 first_trap; // number (from 0) of its first TRAP record
  rec::U32 last_trap;  // of its last; first - 1 when it holds no statement
};
QV_RECORD(IbToc, 12);
QV_AT(IbToc, first_trap, 4);
QV_AT(IbToc, last_trap, 8);
constexpr uint8_t kIbTocCopy = 81;

// TRAP record: one per statement (TRAP sub-file, 12 bytes).
struct IbTrap {
  CodeRef addr;        // its first instruction; 0 for a statement without code
  rec::U32 seq;        // sequence number (STMT offset 48)
  rec::U16 ep;         // event point code, as in the TOC
  rec::U8 toc_index;
  rec::U8 unused;
};
QV_RECORD(IbTrap, 12);
QV_AT(IbTrap, seq, 4);
QV_AT(IbTrap, ep, 8);

// IFNS record: one internal function (32 bytes, key the name).
struct IbIfns {
  rec::Text<22> name;
  rec::U16 zero;
  rec::U32 fn;         // index into the table of internal functions (ii.h)
  rec::U8 kind;        // 0
  rec::Bytes<3> zero2;
};
QV_RECORD(IbIfns, 32);
QV_AT(IbIfns, fn, 24);

// Descriptors of the interpreter's files: IFNS (memory-resident, unique path
// "II"/" IFNS   ", the 8-character code kept whole) and the statement
// listing STMTPRNT of "0AD" (80-byte records, no key).
void INIT_IFNS_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_STMT_PRT_FDB(FmFdb* fdb);

// ------------------------------------------------------- opcode table --
// Operand kinds that relocation rewrites.
enum class IbOpnd : uint8_t {
  None = 0,
  Code,      // code reference -> Ref to the byte of the block (INST_RLOC)
  Cnst,      // constant reference -> Ref to the constant (CNST_RLOC)
  Ira,       // field index -> Ref to the word of the area address array
  Field,     // record field reference -> address in the file's cached data (pl_cache_rloc)
  NullCnst,  // constant (kind byte 2) or record field reference; the kind byte at `kind_at`
};
struct IbOperand {
  uint8_t at;          // offset in the instruction
  IbOpnd kind;
  uint8_t kind_at;     // NullCnst: offset of its kind byte
};
// How the length of an instruction is found.
enum class IbLen : uint8_t {
  Fixed = 0,   // `size`
  PlusU16,     // size + u16 at `len_at` (a mask or text carried in the instruction)
  PlusSegs,    // size + 8 x u8 at `len_at` (key segments)
  Unknown,     // not settled until its statement family is built
};
using IbHook = void (*)(EmHeader* module, uint8_t* inst);
struct IbOpDef {
  const char* name;    // trace and disassembly; "" for an unused opcode
  uint16_t size;
  IbLen len;
  uint8_t len_at;
  uint8_t nopnd;
  IbOperand opnd[4];
};
// The one table of every opcode 0-780 (`inst_nam`): builders take sizes from
// it, relocation its operands, the trace and the disassembler its names.
extern const std::array<IbOpDef, kIbOps + 1>& inst_nam;
// Settles an opcode pair whose length is not yet known (a statement family
// that builds it, or a test): false when the pair is settled already.
bool ib_define_op(uint16_t even_op, const IbOpDef& even, const char* odd_name);
// The definition of an opcode (the last entry, named "?", for one outside
// 0-780).
inline const IbOpDef& ib_op(uint16_t op) { return inst_nam[op < kIbOps ? op : kIbOps]; }
// Length of the instruction at p (not rounded), 0 when not known.
size_t ib_inst_len(const uint8_t* p);
// Instructions after which code does not go on to the next one (a block's
// code ends with one: the verifier checks it).
inline bool ib_ends_run(uint16_t op) {
  switch (op & ~1u) {
    case 10: case 16: case 20: case 30: case 42: case 44: case 82: case 464: return true;
    default: return false;
  }
}
// Registers a one-time relocation hook of an even opcode (the statement
// families' extra first-run work: token tables, file entries ...); before
// the handler (ii_set_pair), which then relocates the even opcode first.
void ib_set_hook(uint16_t even_op, IbHook hook);
IbHook ib_hook(uint16_t even_op);
// Relocates the operands of the instruction at p in place by the table.
// 1, or 0 when an operand could not be relocated (it is then null).
int ib_rloc_operands(EmHeader* module, uint8_t* p);

// ------------------------------------------------------- verification --
// Verifies a module's code and tables before their first run, whatever wrote
// them (a saved module file is written by any member of the group):
//   1. every INST block is 2,024 bytes; each holds instructions from offset
//      0 up to its zero fill, every one of a defined, even (not yet
//      relocated) opcode and wholly inside the block, the last one a
//      branch or an end (code never runs off its block or into the fill);
//      a CALC reset's zero byte and the next instruction's are zero (the
//      number of the statement's plan goes there once the code runs), and
//      a REFRESH takes its text from a constant or register 1, no other;
//   2. every code operand is the start of an instruction, and so is every
//      event-point entry (of the header, frames, images and children) but
//      "no code";
//   3. every field index is a slot 1-n of the area address array, every constant a
//      record of the constant file or a byte of the common block, every
//      record field reference a file of the module and an offset inside its
//      record; every area table entry names an address-array slot, and a
//      sub-area lies inside the area before it;
//   4. every move (and null test) works on address registers loaded in the
//      same straight run of code (from the last branch target on) and stays
//      inside the area, constant or field they point into; an occurrence
//      without a maximum, which the run checks against its area, leaves the
//      register its element's length;
//   5. the screen records hold together: each frame's mode is 1-3, its
//      sequence, images and children lie within the counts, its next frame
//      too, and no chain of next frames comes round again; every frame and
//      item the counts name has its record, and so does each image of a
//      frame's range; an image's items lie within the item count, its
//      characteristics and items inside it as their compile placed them; a
//      look-up's control slot holds a file control area and its
//      record area the file's record; an item's look-ups have their
//      records, its empty value is of a known kind (none, field,
//      constant), and its value, look-up key part, empty value and place
//      in a look-up's record hold its stored length; a child's constraint
//      arrays are constants that hold its count; token lists are of
//      applications the module uses; the summaries are as many as the
//      header counts, each a total numbered once below the count, and
//      every TOTAL's accumulator is one of them.
// 1 when sound; 0 with the first fault found in why (n bytes).
int ib_verify(EmHeader* module, char* why, size_t n);

// -------------------------------------------------- building code --
// Where code is emitted: the code part of the statement compiler's context.
struct IbCode {
  FmArb* inst = nullptr;      // the module's INST file
  uint16_t block = 0;         // current block (from 1) and offset in it
  uint16_t offset = 0;
  uint8_t* storage = nullptr; // the current block's bytes
};
// Makes block 1 of a new INST file current (appending it): 1, or 0 after
// the system error.
int ib_start(IbCode* code, FmArb* inst);
// Reserves size bytes (rounded up to 4) at the current address, moving to
// a new block behind an RLOC_BNB when they would pass byte 2016; writes the
// reservation's code reference into where when given and zeroes its first 4
// bytes. Returns the reserved bytes, or null after the system error
// "instructions file write failed" / "instructions file read failed" (SC.C).
// (In line: a builder reserves every instruction through it. The move to a
// new block is inst_alloc_next's.)
uint8_t* inst_alloc_next(size_t size, CodeRef* where, IbCode* code);
inline uint8_t* inst_alloc(size_t size, CodeRef* where, IbCode* code) {
  size = (size + 3) & ~size_t(3);
  if (code->offset + size > size_t(kIbBlockFill)) [[unlikely]]
    return inst_alloc_next(size, where, code);
  uint8_t* p = code->storage + code->offset;
  if (where) {
    where->block = code->block;
    where->offset = code->offset;
  }
  code->offset = uint16_t(code->offset + size);
  std::memset(p, 0, 4);
  return p;
}
// The current instruction address.
CodeRef ib_here(const IbCode* code);

// -------------------------------------- addresses and statement maps --
// Order of two instruction addresses: by block, then offset.
int ib_code_cmp(const CodeRef& a, const CodeRef& b);
// Maps a native instruction pointer of the module's code to (block,
// offset); false when it lies in no block. The table of block bases is
// built on first use and again when the INST file grew.
bool ib_pc_to_code(EmHeader* module, const uint8_t* pc, CodeRef* out);
// The address of a code reference of the module (null: none).
uint8_t* ib_code_to_pc(EmHeader* module, CodeRef ref);
// TOC and TRAP records of a compile (the statement compiler's calls): opens
// the TOC record of an event point (first TRAP = the module's TRAP count),
// adds a TRAP record (address 0 for a statement without code), closes it
// (last = count - 1) and writes it. 1, or 0 after the system error
// "TOC write failed" / "Trap write failed" (SC.C).
int ib_toc_open(EmHeader* module, IbToc* toc, uint8_t ep, uint8_t index, uint16_t owner);
int ib_put_trap(EmHeader* module, CodeRef addr, uint32_t seq, uint8_t ep, uint8_t toc_index);
int ib_toc_close(EmHeader* module, IbToc* toc);
// Ends a TOC record as ib_toc_close does, without writing it; ib_put_tocs
// writes n such records in one call (0 after the system error "TOC write
// failed").
void ib_toc_end(EmHeader* module, IbToc* toc);
int ib_put_tocs(EmHeader* module, const IbToc* tocs, size_t n);
// Writes n TRAP records kept by the caller (their count is already in the
// module's TRAP count, as ib_put_trap adds it): one block of the module's
// pool, each record stored by reference, so a statement costs no copy.
// 0 after the system error "Trap write failed".
int ib_put_traps(EmHeader* module, const IbTrap* traps, size_t n);
// Sorts TRAP records by address (the debugger's order).
void ib_sort_traps(IbTrap* traps, size_t count);
