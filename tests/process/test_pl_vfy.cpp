// Saved modules as untrusted input: the code verifier's rules at each limit
// and one past it, the loader's refusal of files another user could have
// written and of records of other lengths and counts, what relocation takes
// from a loaded module's records, and a fuzz of damaged and crafted saved
// modules (each refused and compiled again, or loaded and run inside its
// areas).
//
// QUVO_FUZZ_PL_N sets the fuzz's case count (default 400), QUVO_FUZZ_PL_SEED
// its seed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "files/unixio.h"
#include "foundation/os.h"
#include "foundation/pacdec.h"
#include "foundation/ssunix.h"
#include "language/ibcnv.h"
#include "language/ibctl.h"
#include "language/ibdate.h"
#include "language/ibfld.h"
#include "language/ibfi.h"
#include "language/ibmath.h"
#include "language/ibimg.h"
#include "language/ibmisc.h"
#include "language/ibtst.h"
#include "language/ibutil.h"
#include "language/iiutil.h"
#include "process/pc.h"
#include "process/pishr.h"
#include "process/pl_fixture.h"
#include "support/syserr.h"

using namespace pltest;

namespace {

// The fuzz's case count and seed: QUVO_FUZZ_PL_N and QUVO_FUZZ_PL_SEED, else
// 400 and the test's own seed.
long fuzz_cases() {
  const char* v = std::getenv("QUVO_FUZZ_PL_N");
  return v ? std::atol(v) : 400;
}
uint64_t fuzz_seed(uint64_t dflt) {
  const char* v = std::getenv("QUVO_FUZZ_PL_SEED");
  return v ? std::strtoull(v, nullptr, 10) : dflt;
}

constexpr uint32_t kAreaSize = 64;   // the fixture's areas
constexpr size_t kGuard = 64;        // guard bytes after each area when run

// Process P1: three values, two constants and the moves below; offsets of
// its instructions in block 1 (filled by the compile).
struct Layout {
  uint16_t ira, ira_occ, move, offset, pad, tfu, end;
};
Layout g_at;

void moves(IbCode* c) {
  g_at.ira = c->offset;
  bld_ira(c, 2, 1);                      // r1 = area 2
  g_at.ira_occ = c->offset;
  bld_ira_occ(c, 3, 8, 2, 2);            // r2 = area 3 + 8
  g_at.move = c->offset;
  bld_move_char(c, 16);                  // 16 bytes r2 -> r1
  g_at.offset = c->offset;
  bld_offset_reg(c, 1, 4);               // r1 += 4
  g_at.pad = c->offset;
  bld_move_char_pad(c, 8, 4);            // 8 bytes and 4 blanks at r1
  g_at.tfu = c->offset;
  CodeRef next{};
  next.block = c->block;
  next.offset = uint16_t(c->offset + 8);
  bld_tfu(c, next);                      // on to the END
  g_at.end = c->offset;
}

Desc p1() {
  Desc d{{7, 11, 13}, {1000, 2000}, {}, false, moves};
  return d;
}

class PlVfy : public ::testing::Test {
 protected:
  Engine e;
  DProc* def = nullptr;
  void SetUp() override {
    descs().clear();
    compiles() = 0;
    ii_families_register();
    e.start();
    e.dictionary();
    descs()["P1"] = p1();
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {proc_rec("P1")}), 1);
    def = static_cast<DProc*>(MM_ALLOC(e.pool, sizeof(DProc)));
    os_sys_err_log_clear();
  }
  void TearDown() override {
    e.stop();
    descs().clear();
  }
  // A module of P1 compiled without the verifier's look, changed by mutate
  // before ib_verify's answer is taken; the module is given back.
  int verify(const std::function<void(EmHeader*)>& mutate, std::string* why = nullptr) {
    Pcb* p = e.pcb("P1");
    EXPECT_EQ(read_dproc(p->invoc, def, nullptr, nullptr), 1);
    EXPECT_EQ(build_em(def, p, 1), 1);
    EmHeader* em = p->module.get();
    mutate(em);
    char text[200];
    int rc = ib_verify(em, text, sizeof text);
    if (why) *why = text;
    pl_release(p);
    Engine::free_pcb(p);
    return rc;
  }
  // Saves a compiled module of P1 changed by mutate, as a member could write
  // one (its checksum whole).
  void save_crafted(const std::function<void(EmHeader*)>& mutate) {
    Pcb* p = e.pcb("P1");
    ASSERT_EQ(read_dproc(p->invoc, def, nullptr, nullptr), 1);
    ASSERT_EQ(build_em(def, p, 1), 1);
    EmHeader* em = p->module.get();
    mutate(em);
    ASSERT_EQ(pl_put(em), 1);
    pl_release(p);
    Engine::free_pcb(p);
  }
  static uint8_t* code(EmHeader* em, uint16_t at = 0) { return MADDR(em->inst.get(), 1) + at; }
  // P1's code from its move on replaced by: register reg's offset by off
  // (r1 at area 2, r2 at 8 of area 3), the instruction op (its operands set
  // by set) and an END.
  // Register 3 is loaded with area 1 first when reg is 3; the length
  // registers of lens are loaded before op.
  using Lens = std::vector<std::pair<int, uint16_t>>;
  static inline uint8_t* block1;  // block 1, for the code references set writes
  static void replace_move(EmHeader* em, uint32_t reg, uint32_t off, uint16_t op,
                           const std::function<void(uint8_t*)>& set, const Lens& lens = {}) {
    uint8_t* c = code(em, g_at.move);
    block1 = code(em);
    std::memset(c, 0, size_t(g_at.end + 4 - g_at.move));
    if (reg == 3) {
      rec::view<IbInst>(c).op = 64;
      rec::view<rec::U32>(c + 4) = 1u;
      c += 8;
    }
    auto& o = rec::view<IbOffsetReg>(c);
    o.head.op = 650;
    o.reg = reg;
    o.offset = off;
    for (const auto& [r, n] : lens) {
      rec::view<IbLdLen>(c + 12).head.op = uint16_t(152 + 2 * (r - 1));
      rec::view<IbLdLen>(c + 12).value = n;
      c += 8;
    }
    rec::view<IbInst>(c + 12).op = op;
    set(c + 12);
    rec::view<IbInst>(c + 12 + ((ib_inst_len(c + 12) + 3) & ~size_t(3))).op = 10;
  }
  // The END replace_move left replaced by the instruction op (its operands
  // set by set) and an END.
  static void then_op(EmHeader* em, uint16_t op, const std::function<void(uint8_t*)>& set) {
    uint8_t* c = code(em, g_at.move);
    while (rec::view<IbInst>(c).op != 10) c += (ib_inst_len(c) + 3) & ~size_t(3);
    rec::view<IbInst>(c).op = op;
    set(c);
    rec::view<IbInst>(c + ((ib_inst_len(c) + 3) & ~size_t(3))).op = 10;
  }
  static EmAreaEntry& area(EmHeader* em, uint32_t i) {
    return rec::view<EmAreaEntry>(em->area_table.get() + sizeof(EmAreaEntry) * i);
  }
  // Gets P1's module: loaded (true) or compiled again (false); runs it with
  // every area a buffer followed by guard bytes, which must stay as they were.
  bool get_and_run(uint32_t* result) {
    Pcb* p = e.pcb("P1");
    int before = compiles();
    EXPECT_EQ(pl_get(p, 1), 1);
    bool loaded = compiles() == before;
    EmHeader* em = p->module.get();
    std::vector<uint8_t*> bufs;
    for (uint32_t i = 1; em && i <= em->n_areas; ++i) {
      auto* b = static_cast<uint8_t*>(MM_ALLOC(e.pool, kAreaSize + kGuard));
      std::memset(b, 0xA5, kAreaSize + kGuard);
      if (fill) fill(i, b);
      em->area_addr.get()[i].set(b);
      bufs.push_back(b);
    }
    // A module may loop for ever, as a process may: the run ends after a
    // budget of instructions (the loop's yield, every 1000).
    static int yields;
    yields = 0;
    com.net_socket = 1;
    ss_set_ping([] {
      if (++yields > 20) ut_unwind(4);
      return true;
    });
    *result = Engine::run(p);
    com.net_socket = 0;
    ss_set_ping(nullptr);
    last_areas.clear();
    for (uint8_t* b : bufs) {
      last_areas.emplace_back(b, b + kAreaSize);
      for (size_t k = kAreaSize; k < kAreaSize + kGuard; ++k)
        if (b[k] != 0xA5) {
          ADD_FAILURE() << "a move wrote past its area";
          break;
        }
      mm_free(b);
    }
    pl_release(p);
    Engine::free_pcb(p);
    pl_flush();
    return loaded;
  }
  // When set, fills area i's buffer (b) before the run; each area's bytes
  // after it (area i at i - 1).
  std::function<void(uint32_t i, uint8_t* b)> fill;
  std::vector<std::vector<uint8_t>> last_areas;
  std::string mod_file() const { return e.mod_path(stamp_name().c_str()); }
  // The saved file of P1.
  static void saved_fdb(FmFdb* f) {
    INIT_FDB(f, FM_CLASS_DISK, FM_MAX_REC, 1, nullptr, 0);
    INIT_DB_PATH(f, "   ", "ABC", "00", stamp_name().c_str(), FM_PT_MOD);
    f->options = FM_OPT_NO_SYSDIR;
  }
  // The saved file of P1 as its records, the checksum record last.
  using Recs = std::vector<std::vector<uint8_t>>;
  Recs saved_records() {
    FmFdb f;
    saved_fdb(&f);
    Recs out;
    EXPECT_EQ(FM_OPEN(&f, 0, FM_OPT_NO_SYSDIR, 1, 15), 1);
    FmArb* a = f.handle.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(e.pool, FM_MAX_REC + 1));
    a->rec.set(buf);
    a->rec_len = FM_MAX_REC;
    while (fm_rdnxt(a)) out.emplace_back(buf, buf + a->len_read);
    FM_CLOSE(a, 0);
    mm_free(buf);
    return out;
  }
  // The checksum record of recs, from the layout alone: "EMCK", the count,
  // the CRC-32C of each record as its u32 length and bytes, the format.
  static std::vector<uint8_t> checksum_of(const Recs& recs) {
    uint32_t crc = 0;
    for (const auto& r : recs) {
      uint8_t len[4];
      rec::view<rec::U32>(len) = uint32_t(r.size());
      crc = uio_crc32c(r.data(), r.size(), uio_crc32c(len, 4, crc));
    }
    std::vector<uint8_t> t(16);
    std::memcpy(t.data(), "EMCK", 4);
    rec::view<rec::U32>(t.data() + 4) = uint32_t(recs.size());
    rec::view<rec::U32>(t.data() + 8) = crc;
    rec::view<rec::U32>(t.data() + 12) = kEmFormat;
    return t;
  }
  // Writes recs as the saved file of P1, as its owner would (writable by
  // the owner alone).
  void write_saved(const Recs& recs) {
    FmFdb f;
    saved_fdb(&f);
    FM_SCRATCH(&f, 0);
    ASSERT_EQ(FM_CREATE(&f, 0, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
    FmArb* a = f.handle.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(e.pool, FM_MAX_REC + 1));
    for (const auto& r : recs) {
      std::memcpy(buf, r.data(), r.size());
      a->rec.set(buf);
      a->rec_len = uint16_t(r.size());
      ASSERT_EQ(fm_write(a), 1);
    }
    FM_CLOSE(a, FM_CL_KEEP);
    mm_free(buf);
    ASSERT_EQ(chmod(mod_file().c_str(), 0640), 0);
  }
  static bool refused_logged() {
    for (const SysErrRecord& r : os_sys_err_log())
      if (r.text.find("SAVED REFUSED") != std::string::npos) return true;
    return false;
  }
};

// Each rule at its limit (accepted) and one past it (refused).
// A compiled image whose entries are none but entry i (0-5 event points
// 41-46, 6 the totals), and a compiled item whose range checks start at e.
void put_cimg(EmHeader* em, int i, uint32_t e) {
  PcBuf<EmCimg> r;
  r->seq = 1u;
  for (auto& x : r->eps) x = 0xFFFFu;
  r->tot_ep = 0xFFFFu;
  if (i < 6) r->eps[i] = e;
  else r->tot_ep = e;
  PROTO_FULL(em->cimg.get(), 0, r.bytes());
  ASSERT_EQ(fm_write(em->cimg.get()), 1);
}
void put_citm(EmHeader* em, uint32_t e) {
  PcBuf<EmCitm> r;
  r->wm.handle = 1u;
  r->range_ep = e;
  PROTO_FULL(em->citm.get(), 0, r.bytes());
  ASSERT_EQ(fm_write(em->citm.get()), 1);
}

// Screen records written into a module (the fixture's compile makes none):
// a frame of sequence seq, images first-last and next frame next; an item
// of number no whose value is len bytes at slot ix; a look-up over the
// memory file MEMF (its control area slot 8 made one) whose record is at
// slot rec_ix; a token list of application app.
template <class T>
void put_rec(FmArb* f, PcBuf<T>& r) {
  PROTO_FULL(f, 0, r.bytes());
  ASSERT_EQ(fm_write(f), 1);
}
void put_cfrm(EmHeader* em, uint32_t seq, uint16_t first, uint16_t last, uint32_t next = 0, uint8_t mode = 1) {
  PcBuf<EmCfrm> r;
  r->seq = seq;
  r->number = seq;
  r->mode = mode;
  r->first_img = first;
  r->last_img = last;
  r->next = next;
  for (auto& e : r->eps) e = 0xFFFFu;
  put_rec(em->cfrm.get(), r);
  em->n_frames = uint16_t(std::max<uint32_t>(em->n_frames, seq));
}
// An image of sequence seq, rows x cols.
void put_img(EmHeader* em, uint32_t seq, int32_t rows = 2, int32_t cols = 10) {
  PcBuf<EmCimg> r;
  r->seq = seq;
  r->image_no = seq;
  r->rows = rows;
  r->cols = cols;
  for (auto& e : r->eps) e = 0xFFFFu;
  r->tot_ep = 0xFFFFu;
  put_rec(em->cimg.get(), r);
}
void put_item(EmHeader* em, uint16_t no, uint32_t ix, uint16_t len, int32_t col = 0, uint16_t width = 0) {
  PcBuf<EmCitm> r;
  r->wm.handle = 1u;
  r->wm.row = no;
  r->wm.col = col;
  r->wm.text_len = width;
  r->wm.ira_sub = ix;
  r->wm.length = len;
  r->item_no = no;
  r->range_ep = 0xFFFFu;
  put_rec(em->citm.get(), r);
  em->n_items = std::max(em->n_items.get(), no);
}
void put_lookup(EmHeader* em, uint32_t rec_ix) {
  PcBuf<EmCfi> f;
  *f = memfile_cfi();
  put_rec(em->cfi.get(), f);
  rec::view<EmAreaEntry>(em->area_table.get() + sizeof(EmAreaEntry) * 8).kind = 1;
  PcBuf<EmCdlu> d;
  d->number = 1;
  d->ctl_ira = 8u;
  d->area = rec_ix;
  put_rec(em->cdlu.get(), d);
}
// A child whose count constraints are in a 16-byte constant (record 3),
// their positions in one of pos bytes (record 4) when pos is given.
void put_cchld(EmHeader* em, uint32_t count, uint16_t pos = 0) {
  PcBuf<uint8_t> c(16);
  FmArb* cn = em->cnst.get();
  for (uint16_t len : {uint16_t(16), pos}) {
    if (!len) continue;
    PROTO_FULL(cn, 0, c.bytes());
    cn->rec_len = len;
    ASSERT_EQ(fm_write(cn), 1);
  }
  PcBuf<EmCchld> r;
  r->seq = 1u;
  r->eps[0] = r->eps[1] = 0xFFFFu;
  r->invoc.cns_count = count;
  r->invoc.cns_positions.off = pos ? 4u : 3u;
  r->invoc.cns_descs.off = 3u;
  put_rec(em->cchld.get(), r);
  em->n_children = 1;
}
// A summary of number no, a total or not, of field slot 2 + field, counted
// in the header.
void put_sum(EmHeader* em, uint32_t no, uint8_t total = 1, uint32_t field = ~0u) {
  if (field == ~0u) field = no;
  PcBuf<PcSum> r;
  r->number = no;
  r->ira = 2u + field;
  r->offset = field;
  r->total = total;
  put_rec(em->sum.get(), r);
  auto& count = rec::view<rec::U32>(em->b1280.data());
  count = count + 1;
}
void put_ctok(EmHeader* em, const char* app) {
  PcBuf<EmCtok> r;
  r->app.set(app);
  r->name.set("COLOURS");
  put_rec(em->ctok.get(), r);
}

// The first record of a screen sub-file, changed in place.
template <class T>
T& rec_of(FmArb* f) {
  return *reinterpret_cast<T*>(MADDR(f, 1));
}

TEST_F(PlVfy, EachRuleAcceptsItsLimitAndRefusesOnePast) {
  std::string why;
  ASSERT_EQ(verify([](EmHeader*) {}, &why), 1) << why;
  struct Case {
    const char* what;
    std::function<void(EmHeader*)> at_limit, past;
  };
  const uint32_t com_end = 65000 + uint32_t(sizeof(ComArea));
  // Image 1 and a characteristic at its row, column 10, cols wide.
  auto chr_of = [](uint8_t cols, int16_t row = 2) {
    return [cols, row](EmHeader* em) {
      put_img(em, 1);
      PcBuf<EmCchr> c;
      c->handle = 1u;
      c->row = row;
      c->col = 10;
      c->rows = 1;
      c->cols = cols;
      put_rec(em->cchr.get(), c);
    };
  };
  // Two summaries and a TOTAL (IRA_SUM) of accumulator acc.
  auto total_of = [](uint32_t acc) {
    return [acc](EmHeader* em) {
      put_sum(em, 0);
      put_sum(em, 1);
      auto& in = rec::view<IbIraSum>(code(em, g_at.end));
      in.head.op = 184;
      in.acc = acc;
      in.reg = 1u;
      rec::view<IbInst>(code(em, g_at.end + 12)).op = 10;
    };
  };
  // A CALC reset at 2016 (NOPs before it) and an END whose zero byte holds plan.
  auto reset_at_end = [](uint8_t plan) {
    return [plan](EmHeader* em) {
      for (uint32_t at = g_at.end; at < 2016; at += 4) rec::view<IbInst>(code(em, at)).op = 466;
      rec::view<IbInst>(code(em, 2016)).op = 700;
      rec::view<IbInst>(code(em, 2020)).op = 10;
      code(em)[2023] = plan;
    };
  };
  // MSG_CNST of len bytes of constant key.
  auto msg_of = [](uint32_t key, uint16_t len) {
    return [key, len](EmHeader* em) {
      replace_move(em, 1, 0, 628, [key, len](uint8_t* q) {
        rec::view<IbMsg>(q).text = key;
        rec::view<IbMsg>(q).len = len;
      });
    };
  };
  // SET_IF_NULL of a 4-byte null value at offset off of MEMF's record.
  auto set_if_null = [](uint16_t off) {
    return [off](EmHeader* em) {
      PcBuf<EmCfi> f;
      *f = memfile_cfi();
      put_rec(em->cfi.get(), f);
      replace_move(em, 1, 0, 176, [off](uint8_t* q) {
        auto& in = rec::view<IbSetIfNull>(q);
        in.val_len = 4u;
        in.val = 1u | uint32_t(off) << 16;
        in.cmp_len = 4;
        in.null_img = 1u;
        in.null_kind = 2;
        in.past.block = 1;
        in.past.offset = uint16_t(q + sizeof(IbSetIfNull) - block1);
      });
    };
  };
  // Item 1 of len bytes beside a look-up (of MEMF, its record area slot 3), changed by set.
  auto item_of = [](uint16_t len, void (*set)(EmCitm&)) {
    return [len, set](EmHeader* em) {
      put_lookup(em, 3);
      put_item(em, 1, 0, len);
      set(rec_of<EmCitm>(em->citm.get()));
    };
  };
  auto frame_children = [](EmHeader* em, uint16_t last, uint16_t count) {
    put_cfrm(em, 1, 0, 0);
    rec_of<EmCfrm>(em->cfrm.get()).first_chld = 1;
    rec_of<EmCfrm>(em->cfrm.get()).last_chld = last;
    em->n_children = count;
  };
  // Image 1 of items 1 to last, of the module's two.
  auto image_items = [](EmHeader* em, uint16_t last) {
    put_img(em, 1);
    put_item(em, 1, 0, 0, 1, 1);
    put_item(em, 2, 0, 0, 1, 1);
    rec_of<EmCimg>(em->cimg.get()).first_item = 1;
    rec_of<EmCimg>(em->cimg.get()).last_item = last;
  };
  auto compute_pd = [](uint8_t len) {
    return [len](uint8_t* q) {
      auto& in = rec::view<IbComputeOprnd>(q);
      in.type = 8;
      in.len = len;
      in.which = 1;
    };
  };
  // The END replaced by a chain to block 2, which loads r1 and r2 and moves
  // 16 bytes between them; the chain goes to its start or to the move.
  auto chain_to = [](EmHeader* em, bool to_move) {
    IbCode c;
    c.inst = em->inst.get();
    c.block = 1;
    c.offset = g_at.end;
    c.storage = code(em);
    ASSERT_NE(inst_alloc_next(8, nullptr, &c), nullptr);
    c.offset = 0;
    bld_ira(&c, 2, 1);
    bld_ira(&c, 3, 2);
    const uint16_t move = c.offset;
    bld_move_char(&c, 16);
    rec::view<IbInst>(inst_alloc(4, nullptr, &c)).op = 10;
    rec::view<IbBnb>(code(em, g_at.end)).next.offset = to_move ? move : 0;
  };
  // r1 at slot 7, an entry of area 1's class and number: area 1 of size bytes.
  auto shared_r1 = [](EmHeader* em, uint32_t size) {
    area(em, 1).size = size;
    area(em, 7).aclass = area(em, 1).aclass.get();
    area(em, 7).number = 1u;
    rec::view<IbRef1>(code(em, g_at.ira)).ref = 7u;
  };
  // Item 1, a date of no length given, at slot 5 of size bytes.
  auto date_item = [](EmHeader* em, uint32_t size) {
    area(em, 5).size = size;
    put_item(em, 1, 5, 0);
    rec_of<EmCitm>(em->citm.get()).wm.data_type = kDtStd;
  };
  // PASS of 16 bytes at off of slot 2.
  auto pass_at = [](uint32_t off) {
    return [off](EmHeader* em) {
      replace_move(em, 1, 0, 26, [off](uint8_t* q) {
        auto& r = rec::view<IbPass>(q).rec;
        r.ira = 2u;
        r.offset = off;
        r.len = 16u;
        r.kind = 1;
      });
    };
  };
  // A COMPUTE target of type at r1, then IN's position stored at r3 (area 1).
  auto compute_then_in = [](EmHeader* em, uint8_t type) {
    replace_move(em, 3, 0, 710, [type](uint8_t* q) {
      auto& in = rec::view<IbComputeOprnd>(q);
      in.type = type;
      in.len = 4;
      in.which = 1;
    });
    then_op(em, 502, [](uint8_t* q) { rec::view<IbIf2>(q).len1 = rec::view<IbIf2>(q).len2 = 1; });
  };
  // A binary loop (r3, r4 at area 1) whose body moves 16 bytes r2 -> r1,
  // loading them itself or not.
  auto loop_body = [](EmHeader* em, bool loads) {
    std::memset(code(em, g_at.move), 0, size_t(g_at.end + 4 - g_at.move));
    IbCode c;
    c.inst = em->inst.get();
    c.block = 1;
    c.offset = g_at.move;
    c.storage = code(em);
    bld_ira(&c, 1, 3);
    bld_ira(&c, 1, 4);
    auto& beg = rec::view<IbBegLoop>(inst_alloc(12, nullptr, &c));
    beg.head.op = 4;
    beg.ira = 1u;
    if (loads) {
      bld_ira(&c, 2, 1);
      bld_ira(&c, 3, 2);
    }
    bld_move_char(&c, 16);
    auto& end = rec::view<IbEndLoop>(inst_alloc(8, nullptr, &c));
    end.head.op = 14;
    end.ira = 1u;
    beg.exit = ib_here(&c);
    rec::view<IbInst>(inst_alloc(4, nullptr, &c)).op = 10;
  };
  auto cnv_bin_pd = [](uint8_t src_len) {
    return [src_len](uint8_t* q) {
      auto& in = rec::view<IbCnvBinAN>(q);
      in.len = 4;
      in.src_type = 12;
      in.src_len = src_len;
    };
  };
  std::vector<Case> cases = {
      {"field index",
       [](EmHeader* em) { rec::view<IbRef1>(code(em, g_at.ira)).ref = em->n_areas.get(); },
       [](EmHeader* em) { rec::view<IbRef1>(code(em, g_at.ira)).ref = em->n_areas + 1; }},
      {"constant record",
       [](EmHeader* em) { rec::view<IbRef1>(code(em, 24)).ref = 2u; },
       [](EmHeader* em) { rec::view<IbRef1>(code(em, 24)).ref = 3u; }},
      {"common-block constant",
       [&](EmHeader* em) { rec::view<IbRef1>(code(em, 24)).ref = com_end - 1; },
       [&](EmHeader* em) { rec::view<IbRef1>(code(em, 24)).ref = com_end; }},
      {"move length",  // r2 at 8 of a 64-byte area
       [](EmHeader* em) { rec::view<IbLen2>(code(em, g_at.move)).a = uint16_t(kAreaSize - 8); },
       [](EmHeader* em) { rec::view<IbLen2>(code(em, g_at.move)).a = uint16_t(kAreaSize - 8 + 1); }},
      {"move after the offset register",  // r1 at 4: 8 + pad
       [](EmHeader* em) { rec::view<IbLen2>(code(em, g_at.pad)).b = uint16_t(kAreaSize - 4 - 8); },
       [](EmHeader* em) { rec::view<IbLen2>(code(em, g_at.pad)).b = uint16_t(kAreaSize - 4 - 8 + 1); }},
      {"occurrence and its move",  // 16 bytes from occurrence n of 8
       [](EmHeader* em) { rec::view<IbIraOcc>(code(em, g_at.ira_occ)).occ = uint16_t(kAreaSize / 8 - 1); },
       [](EmHeader* em) { rec::view<IbIraOcc>(code(em, g_at.ira_occ)).occ = uint16_t(kAreaSize / 8); }},
      {"code reference",
       [](EmHeader* em) { rec::view<IbTfu>(code(em, g_at.tfu)).to.offset = g_at.end; },
       [](EmHeader* em) { rec::view<IbTfu>(code(em, g_at.tfu)).to.offset = uint16_t(g_at.end + 4); }},
      {"code reference at the block's end",  // an instruction's start, or the block's length
       [](EmHeader* em) { rec::view<IbTfu>(code(em, g_at.tfu)).to.offset = g_at.end; },
       [](EmHeader* em) { rec::view<IbTfu>(code(em, g_at.tfu)).to.offset = uint16_t(kIbBlockSize); }},
      {"code block",
       [](EmHeader* em) { rec::view<IbTfu>(code(em, g_at.tfu)).to.block = 1; },
       [](EmHeader* em) { rec::view<IbTfu>(code(em, g_at.tfu)).to.block = 2; }},
      {"event-point entry",
       [](EmHeader* em) { em->proc_eps[0] = uint32_t(g_at.end) << 16 | 1u; },
       [](EmHeader* em) { em->proc_eps[0] = uint32_t(g_at.end + 2) << 16 | 1u; }},
      {"area table index",
       [](EmHeader* em) { std::swap(area(em, 1).index, area(em, em->n_areas).index); },
       [](EmHeader* em) { area(em, 1).index = em->n_areas + 1; }},
      {"sub-area",
       [](EmHeader* em) { area(em, 2).sub = kAreaSize - 16; area(em, 2).size = 16u; },
       [](EmHeader* em) { area(em, 2).sub = kAreaSize - 16; area(em, 2).size = 17u; }},
      {"opcode",
       [](EmHeader* em) { rec::view<IbInst>(code(em, g_at.move)).op = 114; },
       [](EmHeader* em) { rec::view<IbInst>(code(em, g_at.move)).op = 115; }},
      // The entries of an image's last event point (46) and totals, and of
      // an item's range checks: an instruction start or one past.
      {"image entry",
       [](EmHeader* em) { put_cimg(em, 5, uint32_t(g_at.end) << 16 | 1u); },
       [](EmHeader* em) { put_cimg(em, 5, uint32_t(g_at.end + 2) << 16 | 1u); }},
      {"image totals entry",
       [](EmHeader* em) { put_cimg(em, 6, uint32_t(g_at.end) << 16 | 1u); },
       [](EmHeader* em) { put_cimg(em, 6, uint32_t(g_at.end + 2) << 16 | 1u); }},
      {"image entry filled",  // "no code", or 0
       [](EmHeader* em) { put_cimg(em, 0, 0xFFFFu); },
       [](EmHeader* em) { put_cimg(em, 0, 0u); }},
      {"item range-check entry",
       [](EmHeader* em) { put_citm(em, uint32_t(g_at.end) << 16 | 1u); },
       [](EmHeader* em) { put_citm(em, uint32_t(g_at.end + 2) << 16 | 1u); }},
      {"REFRESH text kind",  // 1 a constant's (here 2 bytes of constant 1), 0 register 1's
       [](EmHeader* em) {
         replace_move(em, 1, 0, 242, [](uint8_t* c) {
           rec::view<IbMsg>(c).text = 1u;
           rec::view<IbMsg>(c).len = 2;
           rec::view<IbMsg>(c).kind = 1u;
         });
       },
       [](EmHeader* em) {
         replace_move(em, 1, 0, 242, [](uint8_t* c) {
           rec::view<IbMsg>(c).text = 1u;
           rec::view<IbMsg>(c).len = 2;
           rec::view<IbMsg>(c).kind = 2u;
         });
       }},
      {"defined opcode",
       [](EmHeader* em) { rec::view<IbInst>(code(em, g_at.move)).op = 114; },
       [](EmHeader* em) { rec::view<IbInst>(code(em, g_at.move)).op = 96; }},
      // The screen records.
      {"frame's images",  // within the count (one more than the images)
       [](EmHeader* em) { em->n_images = 3; put_img(em, 3); put_cfrm(em, 1, 3, 3); },
       [](EmHeader* em) { em->n_images = 3; put_img(em, 3); put_cfrm(em, 1, 3, 4); }},
      {"frame's image records",
       [](EmHeader* em) { em->n_images = 3; put_img(em, 1); put_img(em, 2); put_cfrm(em, 1, 1, 2); },
       [](EmHeader* em) { em->n_images = 3; put_img(em, 1); put_img(em, 2); put_cfrm(em, 1, 1, 3); }},
      {"characteristic in its image", chr_of(1), chr_of(2)},  // 2 x 10: its last cell, or one past
      {"item in its image",  // 2 x 10: item 2 (on row 2) 10 wide from column 1, or from 2
       [](EmHeader* em) { put_img(em, 1); put_item(em, 1, 2, 1, 1, 1); put_item(em, 2, 2, 1, 1, 10); },
       [](EmHeader* em) { put_img(em, 1); put_item(em, 1, 2, 1, 1, 1); put_item(em, 2, 2, 1, 2, 10); }},
      {"frame mode",
       [](EmHeader* em) { put_cfrm(em, 1, 0, 0, 0, 3); },
       [](EmHeader* em) { put_cfrm(em, 1, 0, 0, 0, 4); }},
      {"next frame",  // the last frame, or one past it
       [](EmHeader* em) { put_cfrm(em, 1, 0, 0, 2); put_cfrm(em, 2, 0, 0, 0); },
       [](EmHeader* em) { put_cfrm(em, 1, 0, 0, 3); put_cfrm(em, 2, 0, 0, 0); }},
      {"chain of next frames",  // frame 2 goes on to frame 1 again
       [](EmHeader* em) { put_cfrm(em, 1, 0, 0, 2); put_cfrm(em, 2, 0, 0, 0); },
       [](EmHeader* em) { put_cfrm(em, 1, 0, 0, 2); put_cfrm(em, 2, 0, 0, 1); }},
      {"frames and items counted",  // every one has its record
       [](EmHeader* em) { put_cfrm(em, 2, 0, 0); em->n_frames = 2; put_cfrm(em, 1, 0, 0); },
       [](EmHeader* em) { put_cfrm(em, 2, 0, 0); em->n_frames = 3; put_cfrm(em, 1, 0, 0); }},
      {"frame records within the count",
       [](EmHeader* em) { put_cfrm(em, 1, 0, 0); put_cfrm(em, 2, 0, 0); },
       [](EmHeader* em) { put_cfrm(em, 1, 0, 0); put_cfrm(em, 2, 0, 0); em->n_frames = 1; }},
      {"item's look-up",  // look-up 1 has its record, 2 none
       [](EmHeader* em) {
         put_lookup(em, 3);
         put_item(em, 1, 0, 0);
         reinterpret_cast<EmCitm*>(MADDR(em->citm.get(), 1))->lk_file_no = 1;
       },
       [](EmHeader* em) {
         put_lookup(em, 3);
         put_item(em, 1, 0, 0);
         reinterpret_cast<EmCitm*>(MADDR(em->citm.get(), 1))->lk_file_no = 2;
       }},
      {"item's empty value kind",  // a constant (none given), or a kind past it
       [](EmHeader* em) { put_item(em, 1, 0, 0); reinterpret_cast<EmCitm*>(MADDR(em->citm.get(), 1))->wm.source = 2; },
       [](EmHeader* em) { put_item(em, 1, 0, 0); reinterpret_cast<EmCitm*>(MADDR(em->citm.get(), 1))->wm.source = 3; }},
      {"summaries counted",  // two, counted as two or three
       [](EmHeader* em) { put_sum(em, 0); put_sum(em, 1); },
       [](EmHeader* em) { put_sum(em, 0); put_sum(em, 1); rec::view<rec::U32>(em->b1280.data()) = 3u; }},
      {"summary numbers",  // below the count, each once
       [](EmHeader* em) { put_sum(em, 1); put_sum(em, 0); },
       [](EmHeader* em) { put_sum(em, 1); put_sum(em, 2); }},
      {"summary numbered once",
       [](EmHeader* em) { put_sum(em, 1); put_sum(em, 0); },
       [](EmHeader* em) { put_sum(em, 1, 1, 0); put_sum(em, 1, 1, 1); }},
      {"summary a total",
       [](EmHeader* em) { put_sum(em, 0, 1); },
       [](EmHeader* em) { put_sum(em, 0, 0); }},
      {"TOTAL's accumulator", total_of(1), total_of(2)},  // IRA_SUM of summary 1 of 2, or of 2
      {"item value",  // slot 2: a 64-byte area
       [](EmHeader* em) { put_item(em, 1, 2, uint16_t(kAreaSize)); },
       [](EmHeader* em) { put_item(em, 1, 2, uint16_t(kAreaSize + 1)); }},
      {"look-up record area",  // MEMF's record: 16 bytes
       [](EmHeader* em) { area(em, 6).size = 16u; put_lookup(em, 6); },
       [](EmHeader* em) { area(em, 6).size = 15u; put_lookup(em, 6); }},
      {"shared area's class",  // MEMF's record: class 12 at most, and a number
       [](EmHeader*) {},
       [](EmHeader* em) { area(em, 6).aclass = uint8_t(kSaaClasses); }},
      {"shared area's number",
       [](EmHeader*) {},
       [](EmHeader* em) { area(em, 6).number = 0u; }},
      {"look-up control area",  // slot 8 holds a file control area, slot 7 a record
       [](EmHeader* em) { put_lookup(em, 3); },
       [](EmHeader* em) {
         put_lookup(em, 3);
         auto* d = reinterpret_cast<EmCdlu*>(MADDR(em->cdlu.get(), 1));
         d->ctl_ira = 7u;
       }},
      {"child constraints",  // one descriptor of 16 bytes fills the constant
       [](EmHeader* em) { put_cchld(em, 1); },
       [](EmHeader* em) { put_cchld(em, 2); }},
      {"token list",
       [](EmHeader* em) { put_ctok(em, "ABC"); },
       [](EmHeader* em) { put_ctok(em, "ABD"); }},
      {"last instruction",  // END at the end of code; a fall-through there runs off
       [](EmHeader* em) { rec::view<IbInst>(code(em, g_at.end)).op = 10; },
       [](EmHeader* em) { rec::view<IbInst>(code(em, g_at.end)).op = 466; }},
      {"instruction in its block",  // NOPs up to an END at 2020 that ends at 2024
       [](EmHeader* em) {
         for (uint32_t at = g_at.end + 4; at < 2020; at += 4) rec::view<IbInst>(code(em, at)).op = 466;
         rec::view<IbInst>(code(em, 2020)).op = 10;
       },
       [](EmHeader* em) {
         for (uint32_t at = g_at.end + 4; at < 2020; at += 4) rec::view<IbInst>(code(em, at)).op = 466;
         rec::view<IbInst>(code(em, 2020)).op = 20;  // GOTO: 8 bytes, past the block
       }},
      {"CALC reset at the block's end", reset_at_end(0), reset_at_end(1)},
      {"branch into a run",  // the pad fills r1's area from 4; the TFU goes back to r1's load, or past it
       [](EmHeader* em) {
         rec::view<IbLen2>(code(em, g_at.pad)).b = uint16_t(kAreaSize - 4 - 8);
         rec::view<IbTfu>(code(em, g_at.tfu)).to.offset = g_at.ira;
       },
       [](EmHeader* em) {
         rec::view<IbLen2>(code(em, g_at.pad)).b = uint16_t(kAreaSize - 4 - 8);
         rec::view<IbTfu>(code(em, g_at.tfu)).to.offset = g_at.offset;
       }},
      {"code operand of no code",  // a place to go, never "none"
       [](EmHeader* em) { rec::view<IbTfu>(code(em, g_at.tfu)).to.block = 1; },
       [](EmHeader* em) { rec::view<IbTfu>(code(em, g_at.tfu)).to.block = kNoCode; }},
      {"field index 1",  // slot 0 is no area (END LOOP's control block)
       [](EmHeader* em) { replace_move(em, 1, 0, 12, [](uint8_t* q) { rec::view<IbEndLoop>(q).ira = 1u; }); },
       [](EmHeader* em) { replace_move(em, 1, 0, 12, [](uint8_t* q) { rec::view<IbEndLoop>(q).ira = 0u; }); }},
      {"area table index 1",
       [](EmHeader* em) { area(em, 1).index = 1u; },
       [](EmHeader* em) { area(em, 1).index = 0u; }},
      {"sub-area's room",  // slot 2 the last 16 bytes of area 1 (P1 moves 16 bytes into it), or 15
       [](EmHeader* em) { area(em, 2).sub = kAreaSize - 16; area(em, 2).size = 16u; },
       [](EmHeader* em) { area(em, 2).sub = kAreaSize - 15; area(em, 2).size = 15u; }},
      {"message text in its constant", msg_of(1u, 4), msg_of(1u, 5)},  // constant 1: 4 bytes
      {"message text in the common block", msg_of(com_end - 4, 4), msg_of(com_end - 4, 5)},
      {"null value in its field", set_if_null(12), set_if_null(13)},  // MEMF's records: 16 bytes
      {"look-up control area's room",
       [](EmHeader* em) { area(em, 8).size = uint32_t(sizeof(PiFileCtl)); put_lookup(em, 3); },
       [](EmHeader* em) { area(em, 8).size = uint32_t(sizeof(PiFileCtl) - 1); put_lookup(em, 3); }},
      {"item's look-up key part",  // slot 2: 64 bytes
       item_of(uint16_t(kAreaSize), [](EmCitm& c) { c.lk_no = 1; c.lk_ira = 2u; }),
       item_of(uint16_t(kAreaSize + 1), [](EmCitm& c) { c.lk_no = 1; c.lk_ira = 2u; })},
      {"item in its look-up's record",  // the look-up's record area: slot 3
       item_of(4, [](EmCitm& c) { c.use = 2; c.lk_file_no = 1; c.offset = kAreaSize - 4; }),
       item_of(4, [](EmCitm& c) { c.use = 2; c.lk_file_no = 1; c.offset = kAreaSize - 3; })},
      {"item's empty value in its constant",  // constant 1: 4 bytes
       item_of(4, [](EmCitm& c) { c.wm.source = 2; c.wm.reference = 1u; }),
       item_of(5, [](EmCitm& c) { c.wm.source = 2; c.wm.reference = 1u; })},
      {"item's empty value in its field",  // MEMF's record: 16 bytes
       item_of(4, [](EmCitm& c) { c.wm.source = 1; c.wm.reference = 1u | 12u << 16; }),
       item_of(4, [](EmCitm& c) { c.wm.source = 1; c.wm.reference = 1u | 13u << 16; })},
      {"frame's children",  // within the count
       [=](EmHeader* em) { frame_children(em, 2, 2); },
       [=](EmHeader* em) { frame_children(em, 2, 1); }},
      {"image's items",  // within the count
       [=](EmHeader* em) { image_items(em, 2); },
       [=](EmHeader* em) { image_items(em, 3); }},
      {"characteristic's row", chr_of(1, 1), chr_of(1, 0)},
      {"frame's last entry",
       [](EmHeader* em) { put_cfrm(em, 1, 0, 0); rec_of<EmCfrm>(em->cfrm.get()).eps[4] = uint32_t(g_at.end) << 16 | 1u; },
       [](EmHeader* em) { put_cfrm(em, 1, 0, 0); rec_of<EmCfrm>(em->cfrm.get()).eps[4] = uint32_t(g_at.end + 2) << 16 | 1u; }},
      {"child's last entry",
       [](EmHeader* em) { put_cchld(em, 0); rec_of<EmCchld>(em->cchld.get()).eps[1] = uint32_t(g_at.end) << 16 | 1u; },
       [](EmHeader* em) { put_cchld(em, 0); rec_of<EmCchld>(em->cchld.get()).eps[1] = uint32_t(g_at.end + 2) << 16 | 1u; }},
      {"COMPUTE packed operand's length",
       [=](EmHeader* em) { replace_move(em, 1, 0, 710, compute_pd(1)); },
       [=](EmHeader* em) { replace_move(em, 1, 0, 710, compute_pd(0)); }},
      {"CNV BIN packed source's length",
       [=](EmHeader* em) { replace_move(em, 2, 0, 754, cnv_bin_pd(1)); },
       [=](EmHeader* em) { replace_move(em, 2, 0, 754, cnv_bin_pd(0)); }},
      {"block chain",  // to block 2's start, or past its loads (a branch there)
       [=](EmHeader* em) { chain_to(em, false); },
       [=](EmHeader* em) { chain_to(em, true); }},
      {"shared area's room",  // slot 7 of area 1's number has area 1's room; P1 fills 16 bytes at r1
       [=](EmHeader* em) { shared_r1(em, 16); },
       [=](EmHeader* em) { shared_r1(em, 15); }},
      {"date item's stored length",  // a standard date: 8 bytes, at slot 5
       [=](EmHeader* em) { date_item(em, 8); },
       [=](EmHeader* em) { date_item(em, 7); }},
      {"child constraint positions",  // one of 6 bytes
       [](EmHeader* em) { put_cchld(em, 1, 6); },
       [](EmHeader* em) { put_cchld(em, 1, 5); }},
      {"passed field in its area", pass_at(kAreaSize - 16), pass_at(kAreaSize - 15)},
      {"register 3 after a COMPUTE target",  // a binary one points it at its sign
       [=](EmHeader* em) { compute_then_in(em, 8); },
       [=](EmHeader* em) { compute_then_in(em, 5); }},
      {"loop body's registers",  // END LOOP goes back to the body with the registers its end left
       [=](EmHeader* em) { loop_body(em, true); },
       [=](EmHeader* em) { loop_body(em, false); }},
  };
  // A work value (32 bytes) register 2 points at: moved whole, or one byte more.
  struct Work {
    const char* what;
    uint16_t op;
    void (*set)(uint8_t*);
  };
  const Work work[] = {
      {"CNV_SRC work value", 738, [](uint8_t* q) { rec::view<IbMath>(q).arg = 8; }},
      {"LOOP_CNV work value", 0, [](uint8_t* q) { rec::view<IbLoopCnv>(q).reg = 2; }},
      {"packed expansion work values", 422, [](uint8_t*) {}},
      {"date conversion work value", kOpDateToAlp,
       [](uint8_t* q) {
         rec::view<IbDateCnv>(q).len = uint16_t(sizeof(IbDateCnv));
         rec::view<IbDateCnv>(q).d.len = 8;
       }},
  };
  for (const Work& w : work)
    for (uint16_t n : {32, 33}) {
      auto f = [&w, n](EmHeader* em) {
        replace_move(em, 1, 0, w.op, w.set);
        then_op(em, 114, [n](uint8_t* q) { rec::view<IbLen2>(q).a = n; });
      };
      if (n == 32) cases.push_back({w.what, f, nullptr});
      else cases.back().past = f;
    }
  // The arithmetic and conversions: what they read or write at a register
  // exactly fills its area, or one byte more.
  struct Data {
    const char* what;
    uint32_t reg, off;  // the limit's offset
    uint16_t op;
    std::function<void(uint8_t*)> set;
    Lens lens = {};
  };
  const Data data[] = {
      {"CALC packed operand", 1, kAreaSize - 9, 702, [](uint8_t* q) { rec::view<IbMath>(q).arg = 8; }},
      {"COMPUTE binary target of 3 bytes", 1, kAreaSize - 4, 710,
       [](uint8_t* q) {
         auto& in = rec::view<IbComputeOprnd>(q);
         in.type = 5;
         in.len = 3;
         in.which = 1;
       }},
      {"COMPUTE packed source", 2, kAreaSize - 8 - 16, 710,
       [](uint8_t* q) {
         auto& in = rec::view<IbComputeOprnd>(q);
         in.type = 8;
         in.len = 16;
         in.which = 2;
       }},
      {"alpha source of a calculation", 2, kAreaSize - 8 - 32, 738, [](uint8_t* q) { rec::view<IbMath>(q).arg = 40; }},
      {"CNV BIN numeric target", 1, kAreaSize - 4, 752,
       [](uint8_t* q) {
         rec::view<IbCnvBinNA>(q).type = 5;
         rec::view<IbCnvBinNA>(q).len = 4;
       }},
      {"CNV BIN alpha source", 2, kAreaSize - 8 - 4, 752, [](uint8_t* q) { rec::view<IbCnvBinNA>(q).src_len = 4; }},
      {"CNV BIN alpha target", 1, kAreaSize - 4, 754, [](uint8_t* q) { rec::view<IbCnvBinAN>(q).len = 4; }},
      {"CNV BIN packed source", 2, kAreaSize - 8 - 9, 754,
       [](uint8_t* q) {
         rec::view<IbCnvBinAN>(q).src_type = 12;
         rec::view<IbCnvBinAN>(q).src_len = 9;
       }},
      {"alpha comparison", 2, kAreaSize - 8 - 16, 504, [](uint8_t* q) { rec::view<IbIfCmp>(q).len = 16; }},
      {"binary comparison", 1, kAreaSize - 4, 508, [](uint8_t* q) { rec::view<IbIfBin>(q).code = 1; }},
      {"variable packed expansion", 1, kAreaSize - 9, 278, [](uint8_t* q) { rec::view<IbXpndVarVar>(q).len1 = 8; }},
      {"UNXPND store", 1, kAreaSize - 16, 300, [](uint8_t* q) { rec::view<IbUnxpnd>(q).len = 16; }},
      {"packed loop variable", 1, kAreaSize - 9, 12, [](uint8_t* q) { rec::view<IbEndLoop>(q).ira = 1u; }},
      {"PRINT text", 1, kAreaSize - 16, 470, [](uint8_t* q) { rec::view<IbPrint>(q).len = 16u; }},
      {"binary into a fixed packed target", 1, kAreaSize - 16, 414,
       [](uint8_t* q) {
         rec::view<IbSetBinToPd>(q).tgt_len = 16;
         rec::view<IbSetBinToPd>(q).src_len = 4;
       }},
      {"packed source of a binary", 2, kAreaSize - 8 - 16, 416,
       [](uint8_t* q) {
         rec::view<IbSetPdToBin>(q).src_len = 16;
         rec::view<IbSetPdToBin>(q).tgt_len = 4;
       }},
      {"APPEND target", 1, kAreaSize - 32, 250,
       [](uint8_t* q) {
         rec::view<IbAppend>(q).tgt_len = 32;
         rec::view<IbAppend>(q).src_len = 8;
       }},
      {"date into a date", 1, kAreaSize - 8, kOpDateToDate,
       [](uint8_t* q) {
         rec::view<IbDateToDate>(q).len = uint16_t(sizeof(IbDateToDate));
         rec::view<IbDateToDate>(q).t.len = 8;
         rec::view<IbDateToDate>(q).s.len = 8;
       }},
      {"day name target", 1, kAreaSize - 10, kOpSetDay,
       [](uint8_t* q) {
         rec::view<IbSetName>(q).len = uint16_t(sizeof(IbSetName));
         rec::view<IbSetName>(q).tgt_len = 10;
         rec::view<IbSetName>(q).d.len = 8;
       }},
      {"IN position", 3, kAreaSize - 4, 502,
       [](uint8_t* q) { rec::view<IbIf2>(q).len1 = rec::view<IbIf2>(q).len2 = 1; }},
      {"packed comparison by lengths", 1, kAreaSize - 9, 510, [](uint8_t*) {}, {{1, 9}, {2, 9}}},
      {"VERIFY packed", 1, kAreaSize - 8, 48, [](uint8_t* q) { rec::view<IbVfy>(q).type = 12; }},
      {"VERIFY fixed packed", 1, kAreaSize - 5, 48,
       [](uint8_t* q) {
         rec::view<IbVfy>(q).type = 8;
         rec::view<IbVfy>(q).len = 5;
       }},
      {"VERIFY logic", 1, kAreaSize - 1, 48, [](uint8_t* q) { rec::view<IbVfy>(q).type = 11; }},
      {"VERIFY day-of-year text date", 1, kAreaSize - 7, 48,
       [](uint8_t* q) {
         rec::view<IbVfy>(q).type = 3;
         rec::view<IbVfy>(q).len = 7;
       }},
      {"VERIFY token field of 3 bytes (read as 4)", 1, kAreaSize - 4, 48,
       [](uint8_t* q) {
         auto& in = rec::view<IbVfy>(q);
         in.type = 5;
         in.tokens = 1;
         in.len = 3;
       }},
      {"fixed packed expansion", 1, kAreaSize - 16, 422, [](uint8_t* q) { rec::view<IbXpndFixFix>(q).len1 = 16; }},
      {"mixed packed expansion's fixed operand", 2, kAreaSize - 8 - 16, 276,
       [](uint8_t* q) { rec::view<IbXpndMixed>(q).fix_len = 16; }},
      {"one-byte binary comparison", 1, kAreaSize - 1, 508, [](uint8_t* q) { rec::view<IbIfBin>(q).code = 13; }},
      {"two-byte binaries", 1, kAreaSize - 2, 418,
       [](uint8_t* q) {
         rec::view<IbSetBinToBin>(q).tgt_len = 2;
         rec::view<IbSetBinToBin>(q).src_len = 2;
       }},
      {"variable packed into a logic", 2, kAreaSize - 8 - 9, 424, [](uint8_t* q) { rec::view<IbPdToLog>(q).len = 8; }},
      {"CNV BIN binary source", 2, kAreaSize - 8 - 4, 754,
       [](uint8_t* q) {
         auto& in = rec::view<IbCnvBinAN>(q);
         in.len = 4;
         in.src_type = 5;
         in.src_len = 4;
       }},
      {"date comparison", 1, kAreaSize - 4, 516,
       [](uint8_t* q) {
         auto& in = rec::view<IbIfDat>(q);
         in.d1.len = in.d2.len = 4;
         in.d1.type = in.d2.type = kDtBin;
       }},
      {"CNV TEXT occurrences", 1, kAreaSize - 12, 750,
       [](uint8_t* q) {
         auto& in = rec::view<IbCnvText>(q);
         in.occ_mode = 1;
         in.direction = 1;
         in.item.int_len = 4;
         in.item.ext_len = 6;
       },
       {{1, 12}, {2, 4}}},
      {"packed loop FROM", 2, kAreaSize - 8 - 9, 2,
       [](uint8_t* q) {  // its exit the END after it
         auto& in = rec::view<IbBegLoop>(q);
         in.exit.block = 1;
         in.exit.offset = uint16_t(q + sizeof(IbBegLoop) - block1);
         in.ira = 1u;
       },
       {{2, 9}, {3, 0}, {4, 0}}},
      {"loop conversion", 2, kAreaSize - 8 - 4, 0,
       [](uint8_t* q) {
         auto& in = rec::view<IbLoopCnv>(q);
         in.reg = 2;
         in.var_type = 12;
         in.op_len = 4;
       }},
      {"BEG AT key segment", 1, kAreaSize - 20, 550,
       [](uint8_t* q) {
         auto& in = rec::view<IbFiAt>(q);
         in.entry = 1u;
         in.segs = 2;
         rec::view<IbFiSeg>(q + 12).length = 4;
         rec::view<IbFiSeg>(q + 20).offset = 4;
         rec::view<IbFiSeg>(q + 20).length = 16;
       }},
      {"READ record number", 1, kAreaSize - 4, 562,
       [](uint8_t* q) {
         auto& in = rec::view<IbFiRead>(q);
         in.entry = 1u;
         in.key_no = kIbFiRecordNo;
         in.key_type = 5;
         in.key_len = 4;
       }},
      {"MESSAGE text of a field", 1, kAreaSize - 16, 626, [](uint8_t* q) { rec::view<IbMsg>(q).len = 16; }},
      {"REFRESH text of a field", 1, kAreaSize - 16, 242, [](uint8_t* q) { rec::view<IbMsg>(q).len = 16; }},
  };
  // A date instruction's mask tokens lie inside its length.
  cases.push_back({"date mask tokens",
                   [](EmHeader* em) {
                     replace_move(em, 2, 0, kOpDateToLog, [](uint8_t* q) {
                       rec::view<IbDateCnv>(q).len = uint16_t(sizeof(IbDateCnv) + 4);
                       rec::view<IbDateCnv>(q).d.len = 8;
                       rec::view<IbDateCnv>(q).d.mask_len = 4;
                     });
                   },
                   [](EmHeader* em) {
                     replace_move(em, 2, 0, kOpDateToLog, [](uint8_t* q) {
                       rec::view<IbDateCnv>(q).len = uint16_t(sizeof(IbDateCnv) + 4);
                       rec::view<IbDateCnv>(q).d.len = 8;
                       rec::view<IbDateCnv>(q).d.mask_len = 5;
                     });
                   }});
  // So do the masks of the other forms, both masks of a pair: 4 bytes of
  // masks, or 5.
  struct Masks {
    const char* what;
    uint16_t op;
    void (*set)(uint8_t*, uint16_t bytes);
  };
  const Masks masks[] = {
      {"SET date mask tokens", kOpSetDate,
       [](uint8_t* q, uint16_t bytes) {
         auto& in = rec::view<IbSetDate>(q);
         in.len = uint16_t(sizeof(IbSetDate) + 4);
         in.d.len = 8;
         in.d.mask_len = bytes;
       }},
      {"date difference mask tokens", kOpDateBtwDd,
       [](uint8_t* q, uint16_t bytes) {
         auto& in = rec::view<IbDateBtw>(q);
         in.len = uint16_t(sizeof(IbDateBtw) + 4);
         in.d1.len = in.d2.len = 8;
         in.d1.mask_len = 2;
         in.d2.mask_len = uint16_t(bytes - 2);
       }},
      {"date into a date mask tokens", kOpDateToDate,
       [](uint8_t* q, uint16_t bytes) {
         auto& in = rec::view<IbDateToDate>(q);
         in.len = uint16_t(sizeof(IbDateToDate) + 4);
         in.t.len = in.s.len = 8;
         in.t.mask_len = 2;
         in.s.mask_len = uint16_t(bytes - 2);
       }},
  };
  for (const Masks& k : masks)
    cases.push_back({k.what, [&k](EmHeader* em) { replace_move(em, 1, 0, k.op, [&k](uint8_t* q) { k.set(q, 4); }); },
                     [&k](EmHeader* em) { replace_move(em, 1, 0, k.op, [&k](uint8_t* q) { k.set(q, 5); }); }});
  // SCAN's return block (an entry of the scan support): an instruction
  // start, the END after it, or one past that start.
  auto scan = [](uint8_t* q, uint16_t ret) {
    auto& in = rec::view<IbFiScan>(q);
    in.ctl = 1u;
    in.cont.block = 1;
    in.cont.offset = uint16_t(q + 16 - block1);
    in.ret.block = 1;
    in.ret.offset = uint16_t(q + ret - block1);
  };
  cases.push_back({"SCAN return block",
                   [&](EmHeader* em) { replace_move(em, 1, 0, 580, [&](uint8_t* q) { scan(q, 16); }); },
                   [&](EmHeader* em) { replace_move(em, 1, 0, 580, [&](uint8_t* q) { scan(q, 18); }); }});
  // The instructions that name an address register: register 4, or 5.
  struct RegOp {
    const char* what;
    uint16_t op;
    void (*set)(uint8_t*, uint16_t);
  };
  const RegOp reg_ops[] = {
      {"offset register", 466, [](uint8_t*, uint16_t) {}},  // replace_move's own
      {"bucket register", 186, [](uint8_t* q, uint16_t r) { rec::view<IbIraBucket>(q).reg = r; }},
      {"scan buffer register", 188, [](uint8_t* q, uint16_t r) { rec::view<IbIraScan>(q).reg = r; }},
      {"occurrence register", 76,
       [](uint8_t* q, uint16_t r) {
         rec::view<IbOcc>(q).ira = 1u;
         rec::view<IbOcc>(q).elem_len = 1u;
         rec::view<IbOcc>(q).reg = uint8_t(r);
       }},
      {"packed work value register", 84, [](uint8_t* q, uint16_t r) { rec::view<IbCnvPd>(q).reg = uint8_t(r); }},
  };
  for (const RegOp& r : reg_ops) {
    const bool own = r.op == 466;
    cases.push_back({r.what,
                     [&r, own](EmHeader* em) { replace_move(em, own ? 4 : 1, 0, r.op, [&r](uint8_t* q) { r.set(q, 4); }); },
                     [&r, own](EmHeader* em) { replace_move(em, own ? 5 : 1, 0, r.op, [&r](uint8_t* q) { r.set(q, 5); }); }});
  }
  // A length loaded from a field is its maximum, or without one any 16-bit
  // length: a packed comparison by it at 9 bytes from r1's area end.
  for (uint16_t max : {9, 0}) {
    auto f = [max](EmHeader* em) {
      replace_move(em, 1, kAreaSize - 9, 160, [max](uint8_t* q) {
        rec::view<IbLdLenFld>(q).ira = 1u;
        rec::view<IbLdLenFld>(q).max = max;
      });
      then_op(em, 154, [](uint8_t* q) { rec::view<IbLdLen>(q).value = 9; });
      then_op(em, 510, [](uint8_t*) {});
    };
    if (max == 9) cases.push_back({"length from a field", f, nullptr});
    else cases.back().past = f;
  }
  // A bucket holds 9 bytes: moved whole into it, or one more.
  for (uint16_t n : {9, 10}) {
    auto f = [n](EmHeader* em) {
      replace_move(em, 1, 0, 186, [](uint8_t* q) { rec::view<IbIraBucket>(q).reg = 1; });
      then_op(em, 114, [n](uint8_t* q) { rec::view<IbLen2>(q).a = n; });
    };
    if (n == 9) cases.push_back({"TOTAL's bucket", f, nullptr});
    else cases.back().past = f;
  }
  for (const Data& d : data) {
    cases.push_back({d.what, [&](EmHeader* em) { replace_move(em, d.reg, d.off, d.op, d.set, d.lens); },
                     [&](EmHeader* em) { replace_move(em, d.reg, d.off + 1, d.op, d.set, d.lens); }});
  }
  for (const Case& c : cases) {
    EXPECT_EQ(verify(c.at_limit, &why), 1) << c.what << ": " << why;
    EXPECT_EQ(verify(c.past, &why), 0) << c.what;
  }
}

// The area setup gives a slot named again the block it already holds (a
// private entry clears its own size there) or points it elsewhere (a
// sub-area, a shared area): a slot is named by one entry, whatever the
// sizes. Slot 2 named again by entry 1, private, of 64 bytes or of 16 (P1
// moves 16 into it), or slot 1 by entry 2 as a sub-area of entry 1's area.
TEST_F(PlVfy, ASlotIsNamedByOneEntry) {
  std::string why;
  for (uint32_t size : {64u, 16u}) {
    auto twice = [size](EmHeader* em) {
      area(em, 1).index = 2u;
      area(em, 1).kind = 2;
      area(em, 1).size = size;
      area(em, 2).kind = 2;
    };
    EXPECT_EQ(verify(twice, &why), 0) << size;
    EXPECT_NE(why.find("slot 2 named twice"), std::string::npos) << why;
  }
  auto sub = [](EmHeader* em) {
    area(em, 2).index = 1u;
    area(em, 2).sub = 16u;
    area(em, 2).size = 16u;
  };
  EXPECT_EQ(verify(sub, &why), 0);
  EXPECT_NE(why.find("slot 1 named twice"), std::string::npos) << why;
}

// A CALC store writes no more than its operand's push read: a binary
// target (4 bytes, at its area's end) made packed is refused at run time.
TEST_F(PlVfy, ACalcStoreWritesNoMoreThanItsOperandRead) {
  SysErrCapture quiet(SysErrAnswer::Continue);
  save_crafted([](EmHeader* em) {
    replace_move(em, 1, kAreaSize - 4, 702, [](uint8_t* q) { rec::view<IbMath>(q).arg = 5; });
    uint8_t* c = code(em, uint16_t(g_at.move + 20));
    std::memcpy(c, code(em, g_at.ira), 8);  // r1 = area 2
    const uint16_t ops[][2] = {{702, 5}, {714, 0}, {708, 0}};  // a binary source; the target made packed; the store
    for (int i = 0; i < 3; ++i) {
      rec::view<IbMath>(c + 8 + 8 * i).head.op = ops[i][0];
      rec::view<IbMath>(c + 8 + 8 * i).arg = uint8_t(ops[i][1]);
    }
    rec::view<IbInst>(c + 32).op = 10;
  });
  uint32_t r = 0;
  EXPECT_TRUE(get_and_run(&r));
}

// A crafted saved module whose checksum is whole (anyone can recompute it)
// is refused before it runs: deleted, compiled again, a line in the
// system-error log; the module of the compile runs.
TEST_F(PlVfy, ACraftedSavedModuleIsCompiledAgainNeverRun) {
  const uint32_t want = expected(descs()["P1"]);
  uint32_t r = 0;
  save_crafted([](EmHeader*) {});
  EXPECT_TRUE(get_and_run(&r));  // a sound one loads
  EXPECT_EQ(r, want);
  // An already relocated opcode: its operand would be taken as an address.
  save_crafted([](EmHeader* em) {
    rec::view<IbInst>(code(em, g_at.ira)).op = 61;
    rec::view<IbRef1>(code(em, g_at.ira)).ref = 0x1000u;
  });
  EXPECT_FALSE(get_and_run(&r));
  EXPECT_EQ(r, want);
  EXPECT_TRUE(refused_logged());
  // The compile's module was saved in its place and loads.
  EXPECT_TRUE(get_and_run(&r));
  EXPECT_EQ(r, want);
  // A CALC reset carrying a statement plan's number (kept in its zero byte
  // and the next instruction's once the code runs, never in compiled code):
  // refused, never taken as the number of a plan this engine built.
  for (auto [lo, hi] : {std::pair{0, 0}, std::pair{0xFF, 0}, std::pair{0, 0x0F}}) {
    save_crafted([lo, hi](EmHeader* em) {
      replace_move(em, 1, 0, 700, [lo, hi](uint8_t* c) {
        c[3] = uint8_t(lo);
        c[7] = uint8_t(hi);  // (the END after it)
      });
    });
    const bool sound = lo == 0 && hi == 0;
    EXPECT_EQ(get_and_run(&r), sound) << lo << " " << hi;
    if (!sound) {
      EXPECT_EQ(r, want);
    }
  }
}

// Each record of a saved file at its length and one past, its counts and
// its header's slots: a file another length, count or checksum record than
// the save writes is refused and compiled again; a slot read from the file
// is never followed. The file holds the header, the sub-files, the area
// table (9 entries), the rows of image 1 (2 x 10; image 2 has no columns,
// so no rows) and the checksum record, written here from the layout.
TEST_F(PlVfy, ARecordOfAnotherLengthOrCountInASavedFileIsRefused) {
  const uint32_t want = expected(descs()["P1"]);
  save_crafted([](EmHeader* em) {
    put_img(em, 1, 2, 10);
    put_img(em, 2, 2, 0);
    auto* text = static_cast<char*>(MM_ALLOC(em->pool, 20));
    std::memcpy(text, "FIRST ROW SECOND ROW", 20);
    rec_of<EmCimg>(em->cimg.get()).text.set(text);
  });
  Recs body = saved_records();
  ASSERT_GT(body.size(), 12u);
  body.pop_back();
  const size_t rows = body.size() - 2, areas = rows - 9;
  ASSERT_EQ(body[0].size(), sizeof(EmHeader));
  ASSERT_EQ(body[areas].size(), sizeof(EmAreaEntry));
  ASSERT_EQ(body[rows].size(), 10u);
  auto sealed = [](Recs r) {
    r.push_back(checksum_of(r));
    return r;
  };
  // A block table and a code block of this engine's (the code adds 999):
  // a header slot that named them would run that code.
  auto* block = static_cast<uint8_t*>(MM_ALLOC(e.pool, 16));
  rec::view<IbInst>(block).op = kOpAcc;
  rec::view<rec::U32>(block + 4) = 999u;
  rec::view<IbInst>(block + 8).op = kOpEnd;
  auto* table = static_cast<Ref<uint8_t>*>(MM_ALLOC(e.pool, 8));
  table[0].off = 1u;
  table[1].set(block);
  auto slots = [&](Recs r) {
    auto& h = rec::view<EmHeader>(r[0].data());
    h.block_bases.set(reinterpret_cast<uint8_t*>(table));
    h.area_addr.off = arena::offset_of(table) + 4;
    for (Ref<FmArb>* w : {&h.inst, &h.cnst, &h.toc}) w->off = arena::offset_of(block);
    return r;
  };
  auto header = [](Recs r, const std::function<void(EmHeader&)>& f) {
    f(rec::view<EmHeader>(r[0].data()));
    return r;
  };
  auto resized = [](Recs r, size_t i, int by) {
    if (by < 0) r[i].pop_back();
    else r[i].push_back(' ');
    return r;
  };
  struct Case {
    const char* what;
    Recs recs;
    bool loads;
  };
  const Case cases[] = {
      {"as saved", sealed(body), true},
      {"header one short", sealed(resized(body, 0, -1)), false},
      {"header one long", sealed(resized(body, 0, 1)), false},
      {"first area entry one long", sealed(resized(body, areas, 1)), false},
      {"last area entry one short", sealed(resized(body, rows - 1, -1)), false},
      {"image row one short", sealed(resized(body, rows, -1)), false},
      {"image row one long", sealed(resized(body, rows + 1, 1)), false},
      {"checksum record one long", resized(sealed(body), body.size(), 1), false},
      {"checksum record counting one more", [&] {
         Recs r = sealed(body);
         r.back()[4]++;
         return r;
       }(), false},
      {"code marked relocated", sealed(header(body, [](EmHeader& h) { h.code_relocated = 1; })), false},
      {"area count past the limit", sealed(header(body, [](EmHeader& h) { h.n_areas = 0xFFFFFFFFu; })), false},
      {"slots holding addresses", sealed(slots(body)), true},
      {"slots holding addresses, an area entry short", sealed(resized(slots(body), rows - 1, -1)), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_saved(c.recs);
    if (c.loads) {
      // The image's rows come back as its text.
      Pcb* p = e.pcb("P1");
      ASSERT_EQ(pl_get(p, 1), 1);
      const EmCimg& im = rec_of<EmCimg>(p->module->cimg.get());
      ASSERT_NE(im.text.get(), nullptr);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(im.text.get()), 20), "FIRST ROW SECOND ROW");
      // The debugger's map of code to addresses is the module's own.
      CodeRef start{};
      start.block = 1;
      EXPECT_EQ(ib_code_to_pc(p->module.get(), start), MADDR(p->module->inst.get(), 1));
      pl_release(p);
      Engine::free_pcb(p);
      pl_flush();
    }
    uint32_t r = 0;
    EXPECT_EQ(get_and_run(&r), c.loads);
    EXPECT_EQ(r, want);
  }
}

// A file reference's keys lie in its key record (12 bytes a key) and their
// segments in the segment records they name (8 bytes a segment, the keys'
// one after the other): a saved module whose reference names more keys or
// segments than those records hold is refused and compiled again, never
// relocated past them. Two keys of one segment each in records of 24 and
// 16 bytes, or a third key, or a second segment for the second key.
TEST_F(PlVfy, AFileReferenceNamesNoKeyOrSegmentPastItsRecords) {
  const uint32_t want = expected(descs()["P1"]);
  auto with_keys = [](uint8_t keys, uint8_t last_segs) {
    return [=](EmHeader* em) {
      PcBuf<EmCfi> f;
      *f = memfile_cfi();
      f->fdb.key_count = keys;
      f->fdb.kdb.off = 1u;
      put_rec(em->cfi.get(), f);
      PcBuf<FmKdb> k(2 * sizeof(FmKdb));
      for (int i = 0; i < 2; ++i) {
        k.p[i].seg_count = i ? last_segs : 1;
        k.p[i].segs.off = 1u;  // segment record 1
      }
      FmArb* kdb = em->kdb.get();
      PROTO_FULL(kdb, 0, k.bytes());
      kdb->rec_len = 2 * sizeof(FmKdb);
      ASSERT_EQ(fm_write(kdb), 1);
      PcBuf<FmSdb> sg(2 * sizeof(FmSdb));
      FmArb* sdb = em->sdb.get();
      PROTO_FULL(sdb, 0, sg.bytes());
      sdb->rec_len = 2 * sizeof(FmSdb);
      ASSERT_EQ(fm_write(sdb), 1);
    };
  };
  memf_images();
  SysErrCapture quiet(SysErrAnswer::Continue);  // (a relocation that fails says so)
  uint32_t r = 0;
  for (auto [keys, segs, loads] : {std::tuple{2, 1, true}, std::tuple{3, 1, false}, std::tuple{2, 2, false}}) {
    SCOPED_TRACE(std::to_string(keys) + " keys, " + std::to_string(segs) + " segments");
    save_crafted(with_keys(uint8_t(keys), uint8_t(segs)));
    EXPECT_EQ(get_and_run(&r), loads);
    EXPECT_EQ(r, want);
  }
}

// A loaded module's items keep no value or text slot of the file; an
// item's empty value of a record field shows the file's NULL image, or none
// when the module uses no file of that number (untrusted input, no system
// error).
TEST_F(PlVfy, ALoadedItemKeepsNoSlotOfTheFileAndShowsItsFilesNullImage) {
  memf_images();
  save_crafted([](EmHeader* em) {
    PcBuf<EmCfi> f;
    *f = memfile_cfi();
    put_rec(em->cfi.get(), f);
    put_img(em, 1);
    rec_of<EmCimg>(em->cimg.get()).text.set(static_cast<char*>(MM_ALLOC(em->pool, 20)));
    for (uint16_t no = 1; no <= 2; ++no) {
      put_item(em, no, 2, 1, 1, 1);
      EmCitm& c = *reinterpret_cast<EmCitm*>(MADDR(em->citm.get(), no));
      c.wm.value.off = 0x1000u;
      c.wm.text.off = 0x2000u;
      c.wm.source = 1;
      c.wm.reference = no == 1 ? 1u : 7u;  // file 1 at 0; file 7, which it does not use
    }
  });
  Pcb* p = e.pcb("P1");
  ASSERT_EQ(pl_get(p, 1), 1);
  EXPECT_EQ(compiles(), 1);  // (the save's)
  for (const SysErrRecord& r : os_sys_err_log()) ADD_FAILURE() << r.text;
  for (uint16_t no = 1; no <= 2; ++no) {
    const EmCitm& c = *reinterpret_cast<EmCitm*>(MADDR(p->module->citm.get(), no));
    EXPECT_EQ(c.wm.value.off.get(), 0u);
    EXPECT_EQ(c.wm.text.off.get(), 0u);
    const uint32_t ref = c.wm.reference.get();
    const std::string shown = ref ? std::string(static_cast<const char*>(arena::at(ref)), 10) : "";
    EXPECT_EQ(shown, no == 1 ? "NULL IMAGE" : "") << no;
  }
  pl_release(p);
  Engine::free_pcb(p);
}

// The image of a file is as long as the record of the module that asks for
// it: a saved module whose reference says MEMF's record is 64 bytes, while
// another holds MEMF's images of 16, shows its item's empty value at 10
// from an image of 64 (MEMF's NULL bytes, then blanks), never past the
// other's.
TEST_F(PlVfy, AFilesImageIsAsLongAsTheRecordOfTheModuleThatAsks) {
  memf_images();
  save_crafted([](EmHeader* em) {
    PcBuf<EmCfi> f;
    *f = memfile_cfi();
    f->fdb.rec_len = 64u;
    put_rec(em->cfi.get(), f);
    put_img(em, 1);
    rec_of<EmCimg>(em->cimg.get()).text.set(static_cast<char*>(MM_ALLOC(em->pool, 20)));
    put_item(em, 1, 2, 1, 1, 1);
    EmCitm& c = *reinterpret_cast<EmCitm*>(MADDR(em->citm.get(), 1));
    c.wm.source = 1;
    c.wm.reference = 1u | 10u << 16;  // file 1 at 10
  });
  FmFdb held = memfile_cfi().fdb;
  const uint8_t* held_img = fm_cache(&held, 2);
  ASSERT_NE(held_img, nullptr);
  Pcb* p = e.pcb("P1");
  ASSERT_EQ(pl_get(p, 1), 1);
  ASSERT_EQ(compiles(), 1);  // (the save's)
  for (const SysErrRecord& r : os_sys_err_log()) ADD_FAILURE() << r.text;
  const EmCitm& c = *reinterpret_cast<EmCitm*>(MADDR(p->module->citm.get(), 1));
  const uint32_t ref = c.wm.reference.get();
  ASSERT_NE(ref, 0u);
  EXPECT_EQ(std::string(static_cast<const char*>(arena::at(ref)), 54), "......" + std::string(48, ' '));
  pl_release(p);
  Engine::free_pcb(p);
  EXPECT_EQ(fm_uncache(held_img), 1);
}

// A module that uses an application no longer in the dictionary (its CAP
// stamped) is compiled again; one it used before that application had a
// dictionary (no stamp) is not.
TEST_F(PlVfy, AModuleOfAnApplicationNoLongerThereIsCompiledAgain) {
  const uint32_t want = expected(descs()["P1"]);
  for (bool stamped : {true, false}) {
    save_crafted([stamped](EmHeader* em) {
      PcBuf<EmCap> c;
      c->app.set("XYZ");
      c->ver.set("00");
      std::memset(c->stamp.b, stamped ? 0x11 : 0xFF, 8);
      put_rec(em->cap.get(), c);
    });
    uint32_t r = 0;
    EXPECT_EQ(get_and_run(&r), !stamped);
    EXPECT_EQ(r, want);
  }
}

// A child's constraint arrays become addresses only when their constants
// hold count entries: one constraint, its positions (6 bytes) in a
// constant of 6 bytes, or of 5 (the child is left without constraints).
TEST_F(PlVfy, AChildsConstraintArraysLieInTheirConstants) {
  SysErrCapture quiet(SysErrAnswer::Continue);
  for (uint16_t pos : {uint16_t(6), uint16_t(5)}) {
    Pcb* p = e.pcb("P1");
    ASSERT_EQ(read_dproc(p->invoc, def, nullptr, nullptr), 1);
    ASSERT_EQ(build_em(def, p, 1), 1);
    EmHeader* em = p->module.get();
    put_cchld(em, 1, pos);
    pl_rloc(p);
    const PiInvoc& v = rec_of<EmCchld>(em->cchld.get()).invoc;
    EXPECT_EQ(v.cns_count.get(), pos == 6 ? 1u : 0u) << pos;
    EXPECT_EQ(v.cns_positions.get() != nullptr, pos == 6) << pos;
    EXPECT_EQ(v.cns_descs.get() != nullptr, pos == 6) << pos;
    pl_release(p);
    Engine::free_pcb(p);
  }
}

// A module whose area index is one past its table gives no address:
// relocation leaves the operand null and reports it.
TEST_F(PlVfy, AnAreaIndexOnePastTheTableGivesNoAddress) {
  Pcb* p = e.pcb("P1");
  ASSERT_EQ(pl_get(p, 1), 1);
  EmHeader* em = p->module.get();
  uint8_t ins[8] = {};
  rec::view<IbInst>(ins).op = 60;
  rec::view<IbRef1>(ins).ref = em->n_areas.get();
  ASSERT_EQ(ib_rloc_operands(em, ins), 1);
  EXPECT_EQ(rec::view<Ref<uint8_t>>(ins + 4).get(), reinterpret_cast<uint8_t*>(em->area_addr.get() + em->n_areas));
  rec::view<IbInst>(ins).op = 60;
  rec::view<IbRef1>(ins).ref = em->n_areas + 1;
  EXPECT_EQ(ib_rloc_operands(em, ins), 0);
  EXPECT_EQ(rec::view<rec::U32>(ins + 4).get(), 0u);
  pl_release(p);
  Engine::free_pcb(p);
}

// A saved module that someone other than this user and the data
// directory's owner could have written is not read: owned by another user,
// writable by the group, in a directory others may rename in, or reached
// through a link. The process compiles; the file stays where it cannot be
// replaced, and a file of this user's own takes its place where it can.
TEST_F(PlVfy, ASavedModuleAnotherUserCouldHaveWrittenIsNotRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  const uint32_t want = expected(descs()["P1"]);
  uint32_t r = 0;
  const std::string f = mod_file();
  const std::string d = f.substr(0, f.rfind('/'));
  save_crafted([](EmHeader*) {});
  EXPECT_TRUE(get_and_run(&r));
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // written writable by its owner only
  auto planted = [&](const std::function<void()>& plant) {
    save_crafted([](EmHeader*) {});
    plant();
    bool loaded = get_and_run(&r);
    EXPECT_EQ(r, want);
    return loaded;
  };
  // Another member's file (replaced by ours where we may: root may).
  EXPECT_FALSE(planted([&] { ASSERT_EQ(chown(f.c_str(), 4321, 4321), 0); }));
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_TRUE(get_and_run(&r));
  // Group-writable.
  EXPECT_FALSE(planted([&] { ASSERT_EQ(chmod(f.c_str(), 0660), 0); }));
  // In a directory where others may rename, or that another member owns.
  EXPECT_FALSE(planted([&] { ASSERT_EQ(chmod(d.c_str(), 02770), 0); }));
  ASSERT_EQ(chmod(d.c_str(), 03770), 0);
  EXPECT_TRUE(planted([] {}));
  EXPECT_FALSE(planted([&] { ASSERT_EQ(chown(d.c_str(), 4321, 4321), 0); }));
  ASSERT_EQ(chown(d.c_str(), geteuid(), getegid()), 0);
  // A directory of the path replaced by a link.
  const std::string real = d + ".real";
  ASSERT_EQ(rename(d.c_str(), real.c_str()), 0);
  ASSERT_EQ(symlink(real.c_str(), d.c_str()), 0);
  EXPECT_FALSE(planted([] {}));
  // The data directory's owner's file is read by a member.
  ASSERT_EQ(unlink(d.c_str()), 0);
  ASSERT_EQ(rename(real.c_str(), d.c_str()), 0);
  EXPECT_TRUE(planted([&] {
    ASSERT_EQ(chown(e.dir.c_str(), 4321, 0), 0);
    ASSERT_EQ(chown(f.c_str(), 4321, 0), 0);
  }));
}

// A loop whose body is a CALC statement and an IF, each field an area of
// its own (area 2 I, 6 FROM, 7 TO, 8 STEP, 4 the loop's control block; 3 A,
// 5 B):
//   BEG LOOP I FROM 1 TO 50 STEP 1; CALC A = A + B * B; IF I > B AND A > B;
//   END LOOP
// Its code's bytes (filled by the compile).
struct CalcLoop {
  uint16_t from, to;
};
CalcLoop g_calc;
void calc_loop(IbCode* c) {
  g_calc.from = c->offset;
  for (int r = 1; r <= 4; ++r) bld_ira(c, r == 1 ? 2 : 4 + uint32_t(r), r);
  for (int r = 1; r <= 4; ++r) bld_addr_len(c, r, 9);
  uint8_t* beg = bld_beg_loop(c, false, 4);
  bld_calc_reset(c);
  for (uint32_t f : {3u, 3u, 5u, 5u}) {
    bld_ira(c, f, 1);
    bld_calc_load(c, 12);
  }
  bld_calc_eval(c, '*');
  bld_calc_eval(c, '+');
  bld_calc_eval(c, '=');
  const IbTstOp v{12, 9, 0, true, false};
  uint32_t msg = 0;
  for (auto [f, verb] : {std::pair{2u, 38}, std::pair{3u, 3}}) {
    bld_ira(c, f, 1);
    bld_ira(c, 5, 2);
    bld_if_and_or(c, v, v, 3, verb, 10, &msg);
  }
  bld_ira(c, 2, 1);
  bld_addr_len(c, 1, 9);
  bld_end_loop(c, false, 4);
  rec::view<IbBegLoop>(beg).exit = ib_here(c);
  g_calc.to = c->offset;
}

// The same damage to a module whose loop, CALC statement and compares the
// interpreter plans (the plans keep their numbers in bytes of the code
// once it runs): random bytes of its code, half of them the zero byte of
// an instruction, are refused or run inside their areas. The sound module
// computes A = 50 * 3 * 3 through its plans.
TEST_F(PlVfy, DamagedPlannedLoopModulesAreRefusedOrRunSound) {
  const long n = fuzz_cases();
  const uint64_t seed = fuzz_seed(20261208u);
  std::mt19937_64 rng(seed);
  SysErrCapture quiet(SysErrAnswer::Continue);
  uint32_t r = 0;
  // END READ of a cursor that no BEG READ began (area 1: its bytes are
  // 0xA5 each, an address in the arena): the statement fails, the run never
  // goes where those bytes point.
  save_crafted([](EmHeader* em) {
    replace_move(em, 1, 0, 560, [](uint8_t* c) { rec::view<IbRef1>(c).ref = 1u; });
  });
  EXPECT_TRUE(get_and_run(&r));
  descs()["P1"] = Desc{{7, 11}, {}, {}, false, calc_loop};
  const uint32_t want = expected(descs()["P1"]);
  fill = [](uint32_t i, uint8_t* b) {
    static const uint64_t kStart[9] = {0, 0, 0, 0, 0, 3, 1, 0x50, 1};  // by area, in packed digits
    if (i == 4 || i > 8) return;  // (the control block: BEG LOOP fills it)
    pacdec::store8(b, kStart[i] << 4 | com.pd_pos);
    b[8] = 0;
  };
  // With the loop's plan, then without it (its CALC and compares planned
  // each on its own).
  long loaded = 0, refused = 0;
  for (bool loop_plans : {true, false}) {
    ii_loop_plans_on = loop_plans;
    uint64_t planned = ii_loop_plan_iterations(), compared = ii_cmp_plan_runs();
    save_crafted([](EmHeader*) {});
    EXPECT_TRUE(get_and_run(&r));
    EXPECT_EQ(r, want);
    ASSERT_GE(last_areas.size(), 3u);
    EXPECT_EQ(pacdec::load8(last_areas[2].data()), uint64_t(0x450) << 4 | com.pd_pos);
    if (loop_plans) EXPECT_GT(ii_loop_plan_iterations(), planned + 20);
    else EXPECT_GT(ii_cmp_plan_runs(), compared + 40);  // the loop's statements one by one
    for (long i = 0; i < n; ++i) {
      save_crafted([&](EmHeader* em) {
        std::vector<uint16_t> starts;
        for (uint16_t at = g_calc.from; at < g_calc.to;
             at = uint16_t(at + ((ib_inst_len(code(em, at)) + 3) & ~size_t(3))))
          starts.push_back(at);
        for (int k = 1 + int(rng() % 3); k > 0; --k) {
          uint16_t at = rng() % 2 ? uint16_t(starts[rng() % starts.size()] + 3)
                                  : uint16_t(g_calc.from + rng() % (g_calc.to - g_calc.from));
          code(em)[at] = uint8_t(rng() % 4 ? rng() : 1 + rng() % 2);
        }
      });
      if (get_and_run(&r)) {
        ++loaded;
      } else {
        ++refused;
        ASSERT_EQ(r, want) << "case " << i;
      }
      if (HasFailure()) {
        ADD_FAILURE() << "case " << i << " seed " << seed << (loop_plans ? "" : " (no loop plans)");
        break;
      }
    }
  }
  ii_loop_plans_on = true;
  fill = nullptr;
  std::printf("planned-loop module damage: %ld cases twice, %ld refused and compiled again, %ld loaded and run sound\n",
              n, refused, loaded);
}

// Random byte damage and crafted operands in saved modules: every one is
// refused and compiled again (its result the compile's), or passes the
// verifier, loads and runs inside its areas. Under the sanitizers nothing
// may fault. The damage is to operands, tables, the header and the file's
// bytes, opcodes made relocated or undefined, and opcodes swapped for others
// of the same length that read or write at address registers.
TEST_F(PlVfy, DamagedAndCraftedSavedModulesAreRefusedOrRunSound) {
  const long n = fuzz_cases();
  const uint64_t seed = fuzz_seed(20261207u);
  std::mt19937_64 rng(seed);
  SysErrCapture quiet(SysErrAnswer::Continue);  // a run may end in one
  const uint32_t want = expected(descs()["P1"]);
  const uint32_t com_end = 65000 + uint32_t(sizeof(ComArea));
  auto pick = [&](uint64_t k) { return rng() % k; };
  // Values at and around the limits, or anything.
  auto value = [&](uint32_t limit) -> uint32_t {
    static const uint32_t fixed[] = {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 63, 64, 65, 2016, 2020, 2023, 2024,
                                     64999, 65000, 65535, 0xFFFFFFFFu};
    switch (pick(4)) {
      case 0: return fixed[pick(std::size(fixed))];
      case 1: return uint32_t(limit - 1 + pick(3));
      case 2: return com_end - 1 + uint32_t(pick(3));
      default: return uint32_t(rng());
    }
  };
  // The instructions of P1 (offset, length).
  struct Inst {
    uint16_t at, len;
  };
  std::vector<Inst> insts;
  verify([&](EmHeader* em) {
    for (uint16_t at = 0; at <= g_at.end;) {
      uint16_t len = uint16_t(ib_inst_len(code(em, at)));
      insts.push_back({at, len});
      at = uint16_t(at + ((len + 3) & ~3));
    }
  });
  long loaded = 0, refused = 0;
  for (long i = 0; i < n; ++i) {
    const int kind = int(pick(7));
    if (kind == 5) {
      // Bytes of the file itself (its checksum no longer matches).
      save_crafted([](EmHeader*) {});
      std::fstream io(mod_file(), std::ios::in | std::ios::out | std::ios::binary);
      io.seekg(0, std::ios::end);
      const auto size = uint64_t(io.tellg());
      for (int k = 1 + int(pick(4)); k > 0; --k) {
        io.seekp(std::streamoff(pick(size)));
        io.put(char(rng()));
      }
    } else {
      save_crafted([&](EmHeader* em) {
        uint8_t* c = code(em);
        switch (kind) {
          case 0: {  // an operand word or half-word of an instruction
            const Inst& in = insts[pick(insts.size())];
            if (in.len <= 4) break;
            const uint16_t at = uint16_t(in.at + 4 + 2 * pick((in.len - 4) / 2));
            uint32_t v = value(pick(2) ? kAreaSize : em->n_areas + 1);
            if (pick(2) || at + 4 > in.at + in.len) rec::view<rec::U16>(c + at) = uint16_t(v);
            else rec::view<rec::U32>(c + at) = v;
            break;
          }
          case 1: {  // an opcode: relocated, or of no instruction
            const Inst& in = insts[pick(insts.size())];
            uint16_t op = rec::view<IbInst>(c + in.at).op;
            static const uint16_t ops[] = {1, 11, 61, 96, 115, 465, 767, 780, 781, 0xFFFF};
            rec::view<IbInst>(c + in.at).op = pick(2) ? uint16_t(op | 1) : ops[pick(std::size(ops))];
            break;
          }
          case 6: {  // an opcode of the same length that reads or writes at registers
            const Inst& in = insts[pick(insts.size())];
            static const uint16_t ops[] = {702, 708, 710, 714, 722, 736, 738, 740, 184, 186, 114, 122,
                                           752, 754, 504, 506, 498, 502, 508, 422, 278, 276, 272, 300, 12, 14, 470,
                                           512, 510, 2, 0, 8, 152, 154, 160, 168,
                                           250, 252, 380, 406, 414, 416, 418, 424};
            const uint16_t was = rec::view<IbInst>(c + in.at).op;
            rec::view<IbInst>(c + in.at).op = ops[pick(std::size(ops))];
            if (((ib_inst_len(c + in.at) + 3) & ~size_t(3)) != ((in.len + 3) & ~3u)) rec::view<IbInst>(c + in.at).op = was;
            else if (in.len > 4) c[in.at + 4 + pick(in.len - 4)] = uint8_t(rng());
            break;
          }
          case 2: {  // an area table entry
            EmAreaEntry& a = area(em, 1 + uint32_t(pick(em->n_areas)));
            uint32_t v = value(pick(2) ? kAreaSize : em->n_areas + 1);
            switch (pick(3)) {
              case 0: a.index = v; break;
              case 1: a.sub = v; break;
              default: a.size = v;
            }
            break;
          }
          case 3: {  // random bytes of the operands
            for (int k = 1 + int(pick(4)); k > 0; --k) {
              const Inst& in = insts[pick(insts.size())];
              if (in.len > 4) c[in.at + 4 + pick(in.len - 4)] = uint8_t(rng());
            }
            break;
          }
          case 4:  // the header's counts and entries
            if (pick(2)) em->n_areas = uint32_t(pick(em->n_areas + 1));  // the table written has no more
            else em->proc_eps[pick(kEmProcEps)] = uint32_t(value(g_at.end)) << 16 | uint32_t(pick(3));
        }
      });
    }
    uint32_t r = 0;
    if (get_and_run(&r)) {
      ++loaded;
    } else {
      ++refused;
      ASSERT_EQ(r, want) << "case " << i << " kind " << kind;
    }
    if (HasFailure()) {
      ADD_FAILURE() << "case " << i << " kind " << kind << " seed " << seed;
      break;
    }
  }
  std::printf("saved-module fuzz: %ld cases, %ld refused and compiled again, %ld loaded and run sound\n", n,
              refused, loaded);
}

}  // namespace
