// Instructions and code blocks: see ib.h.
#include "language/ib.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/em.h"
#include "process/services.h"

namespace {
constexpr const char* kModSc = "SC.C";

IbHook g_hooks[kIbOps + 1] = {};

void sys_err(const char* mod, int line, const char* text) {
  os_sys_err_text(mod, line, text);
}

MmPool ii_pool() { return mm_create_pool(" IIPOOL    ", com.base_scope, 0); }

// Adds an empty instruction block to the INST file: the file copies it from
// a zero block of the arena, taken once.
int write_zero_block(FmArb* f) {
  static uint8_t* zero = [] {
    auto* z = static_cast<uint8_t*>(arena::alloc_chunk(kIbBlockSize));
    if (z) std::memset(z, 0, kIbBlockSize);
    return z;
  }();
  if (!f || !zero) return 0;
  f->op = 0;
  f->rec.set(zero);
  f->rec_len = 0;
  int ok = fm_write(f);
  f->rec.reset();
  return ok;
}

// Writes one record of a memory work file from a copy in the arena.
int write_rec(FmArb* f, const void* data, size_t len) {
  if (!f) return 0;
  MmPool pool = ii_pool();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, len));
  std::memcpy(buf, data, len);
  f->op = 0;  // a copy: not the fast bit a MADDR left
  f->rec.set(buf);
  f->rec_len = 0;
  int ok = fm_write(f);
  f->rec.reset();
  mm_free(buf);
  return ok;
}

// The module's block-base table: word 0 the block count, then one Ref per
// block (block n at word n).
Ref<uint8_t>* bases(EmHeader* em, uint32_t* count) {
  *count = 0;
  FmArb* inst = em ? em->inst.get() : nullptr;
  if (!inst) return nullptr;
  auto* t = reinterpret_cast<Ref<uint8_t>*>(em->block_bases.get());
  uint32_t n = t ? t[0].raw() : 0;
  // Built again when the file has grown since.
  if (!t || MADDR(inst, n + 1)) {
    // Blocks never move: only the new ones are looked up.
    uint32_t had = n;
    while (MADDR(inst, n + 1)) ++n;
    MmPool pool = em->pool ? MmPool(em->pool) : ii_pool();
    auto* nt = static_cast<Ref<uint8_t>*>(MM_ALLOC(pool, 4 * (n + 1)));
    if (t) {
      std::memcpy(static_cast<void*>(nt), t, 4 * (had + 1));
      mm_free(t);
    }
    t = nt;
    t[0].off = n;
    for (uint32_t b = had + 1; b <= n; ++b) t[b].set(MADDR(inst, b));
    em->block_bases.set(reinterpret_cast<uint8_t*>(t));
  }
  *count = n;
  return t;
}
}  // namespace

void INIT_IFNS_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb) {
  init_sdb_func(sdb, 0, 0, 22, FM_SEG_ALPHA, '+');
  INIT_KDB(kdb, 0, '+', 8, sdb, 1);
  INIT_FDB(fdb, FM_CLASS_MEMORY, sizeof(IbIfns), 0, kdb, 1);
  INIT_UNIQUE_PATH(fdb, "II", " IFNS   ", FM_PT_DATA);
}

void INIT_STMT_PRT_FDB(FmFdb* fdb) {
  INIT_FDB(fdb, FM_CLASS_DISK, 80, 0, nullptr, 0);
  INIT_DB_PATH(fdb, "", "0AD", "00", "STMTPRNT", FM_PT_DATA);
}

// ------------------------------------------------------- opcode table --
size_t ib_inst_len(const uint8_t* p) {
  const IbOpDef& d = ib_op(rec::view<IbInst>(const_cast<uint8_t*>(p)).op);
  switch (d.len) {
    case IbLen::Fixed: return d.size;
    case IbLen::PlusU16: return d.size + rec::view<rec::U16>(const_cast<uint8_t*>(p) + d.len_at);
    case IbLen::PlusSegs: return d.size + 8u * p[d.len_at];
    default: return 0;
  }
}

void ib_set_hook(uint16_t even_op, IbHook hook) {
  if (even_op < kIbOps) g_hooks[even_op & ~1u] = hook;
}
IbHook ib_hook(uint16_t even_op) { return even_op < kIbOps ? g_hooks[even_op & ~1u] : nullptr; }

int ib_rloc_operands(EmHeader* em, uint8_t* p) {
  const IbOpDef& d = ib_op(rec::view<IbInst>(p).op);
  int ok = 1;
  for (int i = 0; i < d.nopnd; ++i) {
    const IbOperand& o = d.opnd[i];
    uint8_t* at = p + o.at;
    IbOpnd kind = o.kind;
    if (kind == IbOpnd::NullCnst) kind = p[o.kind_at] == 2 ? IbOpnd::Cnst : IbOpnd::Field;
    switch (kind) {
      case IbOpnd::Code: ok &= INST_RLOC(at, em ? em->inst.get() : nullptr); break;
      case IbOpnd::Cnst:  // 0: no constant (ABORT's), stays null
        if (rec::view<rec::U32>(at) != 0) ok &= CNST_RLOC(em ? em->cnst.get() : nullptr, at);
        break;
      case IbOpnd::Ira: {
        uint32_t ix = rec::view<rec::U32>(at);
        Ref<uint8_t>* arr = em ? em->area_addr.get() : nullptr;
        bool in = arr && ix <= em->n_areas;
        rec::view<Ref<Ref<uint8_t>>>(at).set(in ? arr + ix : nullptr);
        ok &= in;
        break;
      }
      case IbOpnd::Field: ok &= proc_svc.pl_cache_rloc(em, at, p[o.kind_at]) ? 1 : 0; break;
      default: break;
    }
  }
  return ok;
}

// -------------------------------------------------- building code --
int ib_start(IbCode* code, FmArb* inst) {
  code->inst = inst;
  code->block = 0;
  code->offset = 0;
  code->storage = nullptr;
  if (!write_zero_block(inst)) {
    sys_err(kModSc, __LINE__, "instructions file write failed");
    return 0;
  }
  code->storage = MADDR(inst, 1);
  if (!code->storage) {
    sys_err(kModSc, __LINE__, "instructions file read failed");
    return 0;
  }
  code->block = 1;
  return 1;
}

// Chains to a new block (RLOC_BNB to its offset 0) and reserves there.
uint8_t* inst_alloc_next(size_t size, CodeRef* where, IbCode* code) {
  assert(code && code->storage && size > 0 && size <= size_t(kIbBlockFill));
  auto& bnb = rec::view<IbBnb>(code->storage + code->offset);
  bnb.head.op = 464;
  bnb.head.flags = 0;
  bnb.head.zero = 0;
  bnb.next.block = uint16_t(code->block + 1);
  bnb.next.offset = 0;
  if (!write_zero_block(code->inst)) {
    sys_err(kModSc, __LINE__, "instructions file write failed");
    return nullptr;
  }
  uint8_t* next = MADDR(code->inst, code->block + 1u);
  if (!next) {
    sys_err(kModSc, __LINE__, "instructions file read failed");
    return nullptr;
  }
  code->block = uint16_t(code->block + 1);
  code->offset = 0;
  code->storage = next;
  return inst_alloc(size, where, code);
}

CodeRef ib_here(const IbCode* code) {
  CodeRef r;
  r.block = code->block;
  r.offset = code->offset;
  return r;
}

// -------------------------------------- addresses and statement maps --
int ib_code_cmp(const CodeRef& a, const CodeRef& b) {
  if (a.block != b.block) return a.block < b.block ? -1 : 1;
  if (a.offset != b.offset) return a.offset < b.offset ? -1 : 1;
  return 0;
}

bool ib_pc_to_code(EmHeader* em, const uint8_t* pc, CodeRef* out) {
  uint32_t n;
  Ref<uint8_t>* t = bases(em, &n);
  for (uint32_t b = 1; t && b <= n; ++b) {
    const uint8_t* base = t[b].get();
    if (pc >= base && pc < base + kIbBlockSize) {
      out->block = uint16_t(b);
      out->offset = uint16_t(pc - base);
      return true;
    }
  }
  return false;
}

uint8_t* ib_code_to_pc(EmHeader* em, CodeRef ref) {
  uint32_t n;
  Ref<uint8_t>* t = bases(em, &n);
  if (!t || ref.block == 0 || ref.block > n || ref.offset >= kIbBlockSize) return nullptr;
  return t[ref.block.get()].get() + ref.offset;
}

int ib_toc_open(EmHeader* em, IbToc* toc, uint8_t ep, uint8_t index, uint16_t owner) {
  toc->ep = ep;
  toc->index = index;
  toc->owner = owner;
  toc->first_trap = em->trap_count;
  toc->last_trap = em->trap_count - 1;
  em->toc_count = em->toc_count + 1;
  return 1;
}

int ib_put_trap(EmHeader* em, CodeRef addr, uint32_t seq, uint8_t ep, uint8_t toc_index) {
  IbTrap t;
  std::memset(&t, 0, sizeof t);
  t.addr = addr;
  t.seq = seq;
  t.ep = ep;
  t.toc_index = toc_index;
  if (!write_rec(em->trap.get(), &t, sizeof t)) {
    sys_err(kModSc, __LINE__, "Trap write failed");
    return 0;
  }
  em->trap_count = em->trap_count + 1;
  return 1;
}

int ib_put_traps(EmHeader* em, const IbTrap* traps, size_t n) {
  if (!n) return 1;
  FmArb* f = em->trap.get();
  MmPool pool = em->pool ? MmPool(em->pool) : ii_pool();
  auto* block = f ? static_cast<IbTrap*>(MM_ALLOC(pool, n * sizeof(IbTrap))) : nullptr;
  if (block) std::memcpy(static_cast<void*>(block), traps, n * sizeof(IbTrap));
  if (block) {
    // By reference: the file keeps the block, which goes with the module's
    // pool after the file (the module scratches TRAP before its pool).
    f->op = FM_OP_FAST;
    f->rec_len = 0;
    size_t ok = size_t(fm_write_all(f, reinterpret_cast<const uint8_t*>(block), uint32_t(n)));
    f->op = 0;
    f->rec.reset();
    if (ok != n) block = nullptr;
  }
  if (!block) {
    sys_err(kModSc, __LINE__, "Trap write failed");
    return 0;
  }
  return 1;
}

void ib_toc_end(EmHeader* em, IbToc* toc) { toc->last_trap = em->trap_count - 1; }

int ib_put_tocs(EmHeader* em, const IbToc* tocs, size_t n) {
  if (!n) return 1;
  FmArb* f = em->toc.get();
  if (f) f->op = 0;
  if (!f || size_t(fm_write_all(f, reinterpret_cast<const uint8_t*>(tocs), uint32_t(n))) != n) {
    sys_err(kModSc, __LINE__, "TOC write failed");
    return 0;
  }
  return 1;
}

int ib_toc_close(EmHeader* em, IbToc* toc) {
  ib_toc_end(em, toc);
  if (!write_rec(em->toc.get(), toc, sizeof *toc)) {
    sys_err(kModSc, __LINE__, "TOC write failed");
    return 0;
  }
  return 1;
}

void ib_sort_traps(IbTrap* traps, size_t count) {
  std::stable_sort(traps, traps + count,
                   [](const IbTrap& a, const IbTrap& b) { return ib_code_cmp(a.addr, b.addr) < 0; });
}
