// Module loader tests: a fresh engine state over a temporary data
// directory, the dictionary of application "ABC", and a fixture compiler
// that builds a module from a description (header fields, area table, CAP
// and CFI records, a hand-assembled event point 01 whose result depends on
// its instructions and constants).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/ut.h"
#include "language/ib.h"
#include "language/ii.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/piexec.h"
#include "process/pigetd.h"
#include "process/pl.h"
#include "process/services.h"
#include "support/dict_fixtures.h"

namespace pltest {

constexpr uint16_t kOpAcc = 100;   // 8 bytes: u32 at 4 is folded into the result
constexpr uint16_t kOpCnst = 52;   // 8 bytes: constant at 4 (relocated) is folded in
constexpr uint16_t kOpEnd = 10;
constexpr int kAreas = 8;

// A test's own opcode pair of size bytes (defined for the verifier and
// relocation) run by fn.
inline void test_op(uint16_t op, uint16_t size, IiFn fn) {
  ib_define_op(op, IbOpDef{"RLOC_TEST", size, IbLen::Fixed, 0, 0, {}}, "INST_TEST");
  ii_set_pair(op, fn);
}

// What the fixture compiler builds for one process.
struct Desc {
  std::vector<uint32_t> values;     // one kOpAcc each
  std::vector<uint32_t> constants;  // one CNST record and one kOpCnst each
  std::vector<EmCfi> cfi;
  bool fail = false;
  std::function<void(IbCode*)> code = nullptr;  // more instructions before the END
  uint32_t areas = kAreas;          // data areas, each area_size bytes
  uint32_t area_size = 64;
  std::vector<EmClib> clib = {};    // the subroutines it calls
};

inline std::map<std::string, Desc>& descs() {
  static std::map<std::string, Desc> d;
  return d;
}
inline int& compiles() {
  static int n = 0;
  return n;
}
// Called by the fixture compiler while it compiles (tests look at the
// screen then).
inline std::function<void()>& on_compile() {
  static std::function<void()> f;
  return f;
}
inline uint32_t& acc() {
  static uint32_t a = 0;
  return a;
}

inline uint8_t* h_acc(IlfExecBlock*, IlfState*, uint8_t* pc) {
  acc() = acc() * 31 + rec::view<rec::U32>(pc + 4).get();
  return ii_adv(pc, 8);
}
inline uint8_t* h_cnst(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->addr[0] = ii_ref(pc + 4);  // a constant load, as the real one, besides
  acc() = acc() * 31 + rec::view<rec::U32>(ii_ref(pc + 4)).get();
  return ii_adv(pc, 8);
}

inline FmArb* mem_file(const char* area, const char* code, int rec_len) {
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_MEMORY, rec_len, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&f, area, code, FM_PT_DATA);
  EXPECT_EQ(FM_CREATE(&f, com.base_scope, 0, 0, 15, 15), 1);
  return f.handle.get();
}

// Brings the file manager's quarantine of closed handles to its steady size
// (1,024 handles), so that counts of arena bytes taken after it see no
// growth of the handles' pool (modules reuse their sub-files' handles and
// close few).
inline void settle_handles() {
  for (int i = 0; i < 1100; ++i) FM_CLOSE(mem_file("QH", "QH", 8), FM_CL_SCRATCH);
}

inline int fixture_compiler(EmCmplCtx* c) {
  ++compiles();
  if (on_compile()) on_compile()();
  auto it = descs().find(c->em->proc_name.str());
  if (it == descs().end() || it->second.fail) {
    c->code = 200140;
    return 0;
  }
  const Desc& d = it->second;
  EmHeader* em = c->em;
  MmPool pool = em->pool;
  // Area table.
  em->n_areas = d.areas;
  auto* table = static_cast<EmAreaEntry*>(MM_ALLOC(pool, sizeof(EmAreaEntry) * (d.areas + 1)));
  std::memset(static_cast<void*>(table), 0, sizeof(EmAreaEntry) * (d.areas + 1));
  for (uint32_t i = 1; i <= d.areas; ++i) {
    table[i].aclass = uint8_t(i % 13);
    table[i].app.set("ABC");
    table[i].number = uint32_t(i);
    table[i].size = d.area_size;
    table[i].index = uint32_t(i);
  }
  em->area_table.set(reinterpret_cast<uint8_t*>(table));
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, 256));
  // CAP: the process's application with its dictionary stamp.
  {
    auto& cap = rec::view<EmCap>(buf);
    std::memset(buf, 0, sizeof(EmCap));
    cap.app.set("ABC");
    cap.ver.set("00");
    const DAppl* ap = pi_get_dap("ABC", "00");
    if (ap) std::memcpy(cap.stamp.b, ap->stamp.b, 8);
    else std::memset(cap.stamp.b, 0xFF, 8);
    cap.src[0] = 0x1234u;  // a compile's handle: never saved
    FmArb* f = em->cap.get();
    PROTO_FULL(f, 0, buf);
    EXPECT_EQ(fm_write(f), 1);
  }
  for (const EmCfi& r : d.cfi) {
    std::memcpy(buf, &r, sizeof r);
    FmArb* f = em->cfi.get();
    PROTO_FULL(f, 0, buf);
    EXPECT_EQ(fm_write(f), 1);
  }
  for (const EmClib& r : d.clib) {
    std::memcpy(buf, &r, sizeof r);
    FmArb* f = em->clib.get();
    PROTO_FULL(f, 0, buf);
    EXPECT_EQ(fm_write(f), 1);
  }
  // Constants and code.
  FmArb* cn = em->cnst.get();
  for (uint32_t v : d.constants) {
    rec::view<rec::U32>(buf) = v;
    PROTO_FULL(cn, 0, buf);
    cn->rec_len = 4;
    EXPECT_EQ(fm_write(cn), 1);
  }
  IbCode code;
  EXPECT_EQ(ib_start(&code, em->inst.get()), 1);
  CodeRef start = ib_here(&code);
  for (uint32_t v : d.values) {
    uint8_t* p = inst_alloc(8, nullptr, &code);
    rec::view<IbInst>(p).op = kOpAcc;
    rec::view<rec::U32>(p + 4) = v;
  }
  for (size_t i = 0; i < d.constants.size(); ++i) {
    uint8_t* p = inst_alloc(8, nullptr, &code);
    rec::view<IbInst>(p).op = kOpCnst;
    rec::view<rec::U32>(p + 4) = uint32_t(i + 1);
  }
  if (d.code) d.code(&code);
  uint8_t* p = inst_alloc(4, nullptr, &code);
  rec::view<IbInst>(p).op = kOpEnd;
  for (auto& e : em->proc_eps) e = 0xFFFFu;
  em->proc_eps[0] = uint32_t(start.block) | uint32_t(start.offset) << 16;
  // The statement map.
  em->toc.set(mem_file("DB", "TC", 12));
  em->trap.set(mem_file("DB", "TR", 12));
  IbToc toc;
  std::memset(static_cast<void*>(&toc), 0, sizeof toc);
  toc.ep = 1;
  PROTO_FULL(em->toc.get(), 0, reinterpret_cast<uint8_t*>(std::memcpy(buf, &toc, sizeof toc)));
  EXPECT_EQ(fm_write(em->toc.get()), 1);
  PROTO_FULL(em->trap.get(), 0, buf);
  EXPECT_EQ(fm_write(em->trap.get()), 1);
  em->toc_count = 1;
  em->trap_count = 1;
  mm_free(buf);
  em->mark = kEmMark;
  return 1;
}

// The expected result of a description's event point 01.
inline uint32_t expected(const Desc& d) {
  uint32_t a = 0;
  for (uint32_t v : d.values) a = a * 31 + v;
  for (uint32_t v : d.constants) a = a * 31 + v;
  return a;
}

// A PROCESS record of "ABC".
inline fx::Rec proc_rec(std::string_view name, int type = 4, std::string_view save = "1",
                        int retention = 50, std::string_view changed = "2026-01-01T00:00:00",
                        std::string_view added = "2026-01-01T00:00:00") {
  return fx::rec("PROCESS", {{"proc_type", std::to_string(type)},
                             {"proc_name", std::string(name)},
                             {"title", std::string("T ") + std::string(name)},
                             {"flag31", "1"},
                             {"save_flag", std::string(save)},
                             {"retention", std::to_string(retention)},
                             {"added", std::string(added)},
                             {"changed", std::string(changed)}});
}

// Rewrites the record with rec's key in a dictionary file (fill: the
// catalogue builder).
template <class Fill>
inline bool rewrite(Fill fill, const fx::Rec& r) {
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, r.size() + 16));
  FmFdb fdb;
  fill(&fdb, kdb, sdb);
  bool ok = false;
  if (FM_OPEN(&fdb, 0, FM_OPT_NO_SYSDIR, 15, 15)) {
    FmArb* a = fdb.handle.get();
    std::memcpy(buf, r.data(), r.size());
    PROTO_FULL(a, 0, buf);
    a->op = FM_OP_HOLD;
    if (fm_read(a)) {
      std::memcpy(buf, r.data(), r.size());
      a->op = 0;
      ok = fm_rewrite(a) == 1;
    }
    FM_CLOSE(a, 0);
  }
  mm_destroy_pool(pool);
  return ok;
}

// The engine state of one test: a data directory, the dictionary of "ABC",
// the loader, the interpreter with the fixture's opcodes.

// The catalog work areas an FDB of a dictionary file is set up with, from a
// pool of the current depth.
struct CatAreas {
  MmPool pool;   // the caller destroys it
  FmKdb* kdb;
  FmSdb* sdb;
};
inline CatAreas cat_areas() {
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  return {pool, static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA)),
          static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA))};
}
struct Engine {
  std::string dir;
  MmPool pool = 0;
  void start(bool make_dir = true) {
    if (make_dir) {
      char tmpl[] = "/tmp/quvo-pl-XXXXXX";
      char* d = mkdtemp(tmpl);
      ASSERT_NE(d, nullptr);
      dir = d;
    }
    setenv("QUVOPATH", dir.c_str(), 1);
    for (const char* v : {"QUVO_PATH_DATA", "QUVO_PATH_MOD", "QUVO_PATH_DBG", "QUVO_PATH_STRUCT"}) unsetenv(v);
    bi_init_com();
    fms_init();
    proc_services_reset();
    ASSERT_EQ(ii_init(), 1);
    test_op(kOpAcc, 8, h_acc);
    ii_set_pair(kOpCnst, h_cnst);
    pi_getters_reset();
    com.user_id.set("USR");
    pl_init();
    em_set_compiler(fixture_compiler);
    pool = mm_create_pool(nullptr, 0, 0);
  }
  void dictionary() {
    ASSERT_EQ(fx::write("APPL", nullptr, nullptr, {fx::appl("ABC", "00")}), 1);
    ASSERT_EQ(fx::write("PARAM", "ABC", "00", {fx::param("MENU")}), 1);
  }
  // The signed-on user (the cache's limit and threshold).
  void user(uint8_t limit = 0, uint8_t threshold = 1) {
    auto u = fx::user("USR");
    rec::view<DUser>(u.data()).cache_lim = limit;
    rec::view<DUser>(u.data()).cache_thr = threshold;
    ASSERT_EQ(fx::write("USER", nullptr, nullptr, {u}), 1);
  }
  void stop(bool remove = true) {
    pl_flush();
    em_set_compiler(nullptr);
    proc_services_reset();
    fm_shutdown();
    if (pool) mm_destroy_pool(pool);
    pool = 0;
    if (remove && !dir.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  }
  // A PCB of process name of "ABC" (type 4 unless given).
  Pcb* pcb(const char* name, int kind = 2, int type = 4, const char* lang = "   ") {
    auto* p = static_cast<Pcb*>(MM_ALLOC(pool, sizeof(Pcb)));
    std::memset(static_cast<void*>(p), 0, sizeof *p);
    p->invoc.app.set("ABC");
    p->invoc.ver.set("00");
    p->invoc.type = uint8_t(type);
    p->invoc.name.set(name);
    p->invoc.kind = uint8_t(kind);
    p->lang.set(lang);
    auto* areas = static_cast<Ref<uint8_t>*>(MM_ALLOC(pool, 4 * (kAreas + 1)));
    std::memset(static_cast<void*>(areas), 0, 4 * (kAreas + 1));
    auto* status = static_cast<uint8_t*>(MM_ALLOC(pool, 64));
    std::memset(status, 0, 64);
    areas[kPcbStatusArea].set(status);
    p->area_addr.set(areas);
    return p;
  }
  // Gives back a PCB of pcb() with its area table and status area.
  static void free_pcb(Pcb* p) {
    mm_free(p->area_addr.get()[kPcbStatusArea].get());
    mm_free(p->area_addr.get());
    mm_free(p);
  }
  // Runs event point 01 of the PCB's module: the fixture's result.
  static uint32_t run(Pcb* p) {
    acc() = 0;
    IlfExecBlock b;
    ::mark(0, [&] { II_EXEC_PROC(p, 1, &b); });
    return acc();
  }
  std::string mod_path(const char* name8, const char* db = "") const {
    return dir + "/mod/" + (db[0] ? std::string(db) + "/" : std::string()) + "ABC00/" + name8;
  }
  std::string dbg_path(const char* name8, const char* db = "") const {
    return dir + "/dbg/" + (db[0] ? std::string(db) + "/" : std::string()) + "ABC00/" + name8;
  }
};

// The saved-file name of the fixture's stamp (2026-01-01T00:00:00).
inline std::string stamp_name(const char* iso = "2026-01-01T00:00:00") {
  fx::Rec r = proc_rec("X", 4, "1", 50, iso, iso);
  const auto& d = rec::view<DProc>(r.data());
  uint32_t st[2] = {rec::view<rec::U32>(d.added.b).get(), rec::view<rec::U32>(d.added.b + 4).get()};
  char n[9] = {};
  pl_gen_nam(0, st, n);
  return n;
}

// The memory-resident file "MEMF" of "ABC" (class 8), whose control area is
// area 8 (an index the loader relocates into the module's area array).
inline EmCfi memfile_cfi() {
  EmCfi r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  INIT_FDB(&r.fdb, FM_CLASS_MEMORY, 16, 0, nullptr, 0);
  r.fdb.app.set("ABC");
  r.fdb.ver.set("00");
  r.fdb.name.set("MEMF");
  r.fdb.path_type = FM_PT_DATA;
  r.file_no = 1;
  r.use = 1;
  r.ipc_cat = 8;
  r.ctl_area = 8000008u;
  r.ctl_ira = 8u;
  return r;
}

// The INITIAL and NULL images of MEMF (16 bytes each) in the dictionary,
// which the loader caches for a module that uses the file.
inline void memf_images() {
  std::vector<fx::Rec> images;
  for (uint8_t kind = 1; kind <= 2; ++kind) {
    fx::Rec im(13 + 16, ' ');
    std::memcpy(im.data(), "MEMF    ", 8);
    im[8] = kind;
    rec::view<rec::U32>(im.data() + 9) = 1u;
    std::memcpy(im.data() + 13, kind == 1 ? "INITIAL IMAGE..." : "NULL IMAGE......", 16);
    images.push_back(im);
  }
  ASSERT_EQ(fx::write("INITIAL", "ABC", "00", images), 2);
}

// An invocation of process `name` of "ABC" 00, of `kind` (2: DETACHED).
inline PiInvoc abc_invoc(const char* name, int type, int kind = 2, Pcb* parent = nullptr) {
  PiInvoc v;
  os_invoc_template(&v);
  v.app.set("ABC");
  v.ver.set("00");
  v.type = uint8_t(type);
  v.name.set(name);
  v.kind = uint8_t(kind);
  v.parent_pcb.set(parent);
  return v;
}

// Runs an invocation through the runner inside a family scope, as the
// start-up does: its completion code (or how the scope ended).
inline int pi_run(PiInvoc* v) {
  int m = ::mark(1, [&] { pi_exec(v); }, ut_cleanup);
  return m == 1 ? int(v->completion) : m;
}
inline int pi_run(const char* name, int type = 6, int kind = 2) {
  PiInvoc v = abc_invoc(name, type, kind);
  return pi_run(&v);
}

}  // namespace pltest
