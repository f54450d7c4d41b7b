// The PCF verbs: event points in order, holds, stamps, record security,
// delete guards, change and delete cascades to children, the modification
// log byte for byte, and the executor doubles' PCF script.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "files/fmcat.h"
#include "foundation/cvdat.h"
#include "pi_fixture.h"
#include "pl_fixture.h"
#include "process/pb.h"
#include "process/pc.h"
#include "process/piexec.h"
#include "process/pipcf.h"
#include "process/pishr.h"
#include "support/syserr.h"

using namespace pltest;
using namespace pitest;

namespace {

constexpr int kLen = 40;  // PCF record: key 0-3, NAME 4-13, QTY 14-17 (binary), CODE 18-21, 22-39 free
constexpr int kAreaCount = 16, kAreaSize = 700;

// Event points: process ones as "ep", a child's as "61/CHLD".
std::vector<std::string> g_ev;
std::map<int, int> g_ep_errors;  // event point -> errors it reports once
void ep_log(void* arg) {
  auto* a = static_cast<PiEpArg*>(arg);
  std::string k = std::to_string(a->event_point);
  if (a->cchld) k += "/" + static_cast<const EmCchld*>(a->cchld)->invoc.name.str().substr(0, 4);
  g_ev.push_back(k);
  a->result = 1;
  if (auto it = g_ep_errors.find(a->event_point); it != g_ep_errors.end() && it->second) {
    a->errors = it->second;
    it->second = 0;
  }
}

// What each executor does (by process name); children record their runs.
std::map<std::string, std::function<int(Pcb*)>> g_run;
struct ChildRun {
  std::string name;
  int auto_mode;
  std::string values;
};
std::vector<ChildRun> g_children;
void exec_double(Pcb* p) {
  std::string n = p->invoc.name.str().substr(0, 4);
  if (p->invoc.auto_mode) {
    const uint8_t* v = p->invoc.cns_values.get();
    g_children.push_back({n, p->invoc.auto_mode, v ? std::string(reinterpret_cast<const char*>(v), p->invoc.cns_total) : ""});
  }
  int code = 2;
  if (auto it = g_run.find(n); it != g_run.end()) code = it->second(p);
  ut_unwind(code);
}

class Pcf : public PiFix {
 protected:
  FmFdb file{};
  FmKdb* kdb = nullptr;
  void SetUp() override {
    PiFix::SetUp();
    g_ev.clear();
    g_ep_errors.clear();
    g_run.clear();
    g_children.clear();
    proc_svc.ii_proc_exec = ep_log;
    for (auto* slot : {&proc_svc.ip_exec, &proc_svc.ip_auto, &proc_svc.ap_exec, &proc_svc.op_exec,
                       &proc_svc.op_auto, &proc_svc.op_inquire})
      *slot = exec_double;
    make_file();
  }
  // "ABC" 00 "PCF": keyed by its first four bytes, with its directory entry.
  // Two segments: the key's second part is the code (bytes 18-21).
  void make_file(const char* name = "PCF", bool two_segments = false) {
    auto* segs = static_cast<FmSdb*>(MM_ALLOC(e.pool, 2 * sizeof(FmSdb)));
    init_sdb_func(segs, 1, 0, 4, FM_SEG_ALPHA, '+');
    init_sdb_func(segs + 1, 4, 18, 4, FM_SEG_ALPHA, '+');
    kdb = static_cast<FmKdb*>(MM_ALLOC(e.pool, sizeof(FmKdb)));
    INIT_KDB(kdb, 0, '+', FM_KEY_PRIMARY, segs, two_segments ? 2 : 1);
    INIT_FDB(&file, FM_CLASS_DISK, kLen, 0, kdb, 1);
    file.app.set("ABC");
    file.ver.set("00");
    file.name.set(name);
    file.db.set("DB1");  // the database the process works in
    file.path_type = FM_PT_DATA;
    FmFdb made = file;
    ASSERT_EQ(FM_CREATE(&made, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
    FM_CLOSE(made.handle.get(), 0);
    auto* ksd = static_cast<FmKdb*>(MM_ALLOC(e.pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
    auto* ssd = static_cast<FmSdb*>(MM_ALLOC(e.pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
    FmFdb sd;
    INIT_DSYSDIR_FDB(&sd, ksd, ssd);
    ASSERT_EQ(FM_CREATE(&sd, com.depth, 0, FM_OPT_CREATE | FM_OPT_NO_SYSDIR, 0, 0), 1);
    auto* ent = static_cast<FmSysdirRec*>(MM_ALLOC(e.pool, sizeof(FmSysdirRec)));
    fm_cat_sysdir_entry(&file, ent);
    PROTO_FULL(sd.handle.get(), 0, reinterpret_cast<uint8_t*>(ent));
    ASSERT_EQ(fm_write(sd.handle.get()), 1);
    FM_CLOSE(sd.handle.get(), 0);
  }
  // Records straight into the file (key, name, quantity, code).
  void put(const char* key, const char* name, uint32_t qty = 0, const char* code = "    ") {
    FmFdb f = file;
    ASSERT_EQ(FM_OPEN(&f, com.depth, 0, 15, 15), 1);
    auto* r = static_cast<uint8_t*>(MM_ALLOC(e.pool, kLen));
    std::memset(r, ' ', kLen);
    std::memcpy(r, key, 4);
    std::memcpy(r + 4, name, std::min<size_t>(std::strlen(name), 10));
    std::memcpy(r + 14, &qty, 4);
    std::memcpy(r + 18, code, 4);
    PROTO_FULL(f.handle.get(), 0, r);
    ASSERT_EQ(fm_write(f.handle.get()), 1);
    FM_CLOSE(f.handle.get(), 0);
  }
  std::map<std::string, std::string> contents() {
    std::map<std::string, std::string> m;
    FmFdb f = file;
    EXPECT_EQ(FM_OPEN(&f, com.depth, 0, 15, 15), 1);
    auto* r = static_cast<uint8_t*>(MM_ALLOC(e.pool, kLen));
    PROTO_FULL(f.handle.get(), 0, r);
    f.handle->op = FM_OP_FIRST;
    fm_start(f.handle.get());
    f.handle->op = 0;
    while (fm_rdnxt(f.handle.get())) m[std::string(reinterpret_cast<char*>(r), 4)] = std::string(reinterpret_cast<char*>(r), kLen);
    FM_CLOSE(f.handle.get(), 0);
    return m;
  }
  // Defines the processes (each with the fixture's big areas) and gives
  // `name` the PCF, its stamps and children.
  void define_pcf(const char* name, int type, std::vector<std::pair<std::string, int>> more = {},
                  std::function<void(EmCfi*, EmHeader*)> extra = nullptr) {
    more.insert(more.begin(), {name, type});
    define(more);
    for (auto& [n, t] : more) {
      descs()[n].areas = kAreaCount;
      descs()[n].area_size = kAreaSize;
    }
    add_cfi(name, type, file, [&](EmCfi* r, EmHeader* em) {
      r->rec_ira = 1;
      r->ctl_ira = 2;
      r->use = 1 | 4 | 8;
      r->elem1_off = -1;
      em->pcf_file = 1;
      em->pcf_app.set("ABC");
      PcPcfCmpl& pr = pc_pcf_cmpl(em);
      for (auto& s : pr.stamp_off) s = -1;
      for (auto& d : pr.date) d.offset = -1;
      if (extra) extra(r, em);
    });
  }
  // A compiled child of the module of `name`: a type 4 process constrained
  // on the PCF's key (bytes 0-3) and, not as key, its name (4-13).
  static void add_child(EmHeader* em, uint32_t seq, const char* child, bool on_change, bool on_delete) {
    auto* c = static_cast<EmCchld*>(MM_ALLOC(pi_pool(), sizeof(EmCchld)));
    std::memset(static_cast<void*>(c), 0, sizeof *c);
    c->seq = seq;
    os_invoc_template(&c->invoc);
    c->invoc.app.set("ABC");
    c->invoc.ver.set("00");
    c->invoc.type = 4;
    c->invoc.name.set(child);
    c->invoc.kind = 0;
    c->frame_seq = 5;  // the child's frame and image
    c->image_seq = 2;
    c->flag114 = on_change ? 1 : 0;
    c->flag115 = on_delete ? 1 : 0;
    c->eps[0] = 0xFFFFu;
    c->eps[1] = 0xFFFFu;
    auto* pos = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), 12));
    auto* d = static_cast<PiCnsDesc*>(MM_ALLOC(pi_pool(), 2 * sizeof(PiCnsDesc)));
    std::memset(pos, 0, 12);
    std::memset(static_cast<void*>(d), 0, 2 * sizeof(PiCnsDesc));
    rec::view<rec::U16>(pos + 2) = uint16_t(0);
    rec::view<rec::U16>(pos + 4) = uint16_t(4);
    rec::view<rec::U16>(pos + 8) = uint16_t(4);
    rec::view<rec::U16>(pos + 10) = uint16_t(10);
    d[0].value_at = 0;
    d[0].src_off = 0;
    d[0].length = 4;
    d[0].in_use = 1;
    d[0].key = 1;
    d[1].value_at = 4;
    d[1].src_off = 4;
    d[1].length = 10;
    d[1].in_use = 1;
    c->invoc.cns_count = 2;
    c->invoc.cns_positions.set(pos);
    c->invoc.cns_descs.set(reinterpret_cast<uint8_t*>(d));
    c->invoc.cns_total = 14;
    PROTO_FULL(em->cchld.get(), 0, reinterpret_cast<uint8_t*>(c));
    ASSERT_EQ(fm_write(em->cchld.get()), 1);
    em->n_children = uint16_t(seq);
  }
  int run(const char* name, int type, std::function<int(Pcb*)> body) {
    g_run[std::string(name).substr(0, 4)] = std::move(body);
    PiInvoc v = abc_invoc(name, type);
    return pi_run(&v);
  }
  static uint8_t* rec_of(Pcb* p) { return p->pcf_stream->rec.get(); }
  static uint32_t status(Pcb* p) { return p->pcf_stream->status; }
  static int res(Pcb* p) { return p->invoc.completion; }
  static void set(Pcb* p, int at, const char* text) { std::memcpy(rec_of(p) + at, text, std::strlen(text)); }
  static void phase(Pcb* p, int ph) { pi_area_rec<PdArea11>(p, 11)->phase = uint8_t(ph); }
};

using Ev = std::vector<std::string>;

// Each verb runs its event points in the process model's order; a rewrite
// in automatic mode runs neither 04 nor 05; an event point's errors end
// the verb with its result; a locked record is still shown, with 03 and 11.
TEST_F(Pcf, VerbsRunTheirEventPointsInOrder) {
  define_pcf("INP", 2);
  put("A001", "ALPHA");
  put("A002", "BETA");
  int rc = run("INP", 2, [&](Pcb* p) {
    g_ev.clear();
    set(p, 0, "A002");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    EXPECT_EQ(g_ev, (Ev{"3", "11"}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec_of(p)) + 4, 4), "BETA");
    EXPECT_EQ(std::memcmp(p->pcf_buf1.get(), rec_of(p), kLen), 0);  // the saved copy
    EXPECT_EQ(p->rid_len, 4u);
    g_ev.clear();
    set(p, 0, "A003");
    set(p, 4, "GAMMA     ");
    EXPECT_EQ(pi_write(p), 1);
    EXPECT_EQ(g_ev, (Ev{"11", "4", "5"}));
    g_ev.clear();
    phase(p, 7);
    set(p, 0, "A001");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);  // held: the process rewrites
    auto* fc = static_cast<PiFileCtl*>(p->pcf_entry.get());
    EXPECT_EQ(fc->held.get(), p->pcf_stream.get());
    set(p, 4, "ALEPH     ");
    EXPECT_EQ(pi_rewrite(p), 1);
    EXPECT_EQ(g_ev, (Ev{"3", "11", "11", "4", "11", "5"}));
    // A rewrite the file refuses (a duplicate key): 32 with 200170; the
    // saved copy holds the record as it is on file, the area the user's.
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    set(p, 0, "A002");
    EXPECT_EQ(pi_rewrite(p), 0);
    EXPECT_EQ(res(p), kPiRsFile);
    EXPECT_EQ(status(p), FM_ST_DUP_KEY);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(p->pcf_buf1.get()), 14), "A001ALEPH     ");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec_of(p)), 14), "A002ALEPH     ");
    set(p, 0, "A001");
    // Automatic mode: no 04, no 05.
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    p->invoc.auto_mode = 1;
    g_ev.clear();
    EXPECT_EQ(pi_rewrite(p), 1);
    EXPECT_EQ(g_ev, (Ev{"11", "11"}));
    p->invoc.auto_mode = 0;
    // A record locked by another handle: answer 0, yet 03 and 11 run on it.
    FmFdb other = file;
    EXPECT_EQ(FM_OPEN(&other, com.depth, 0, 15, 15), 1);
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(e.pool, kLen));
    std::memcpy(buf, "A002", 4);
    PROTO_FULL(other.handle.get(), 0, buf);
    other.handle->op = FM_OP_HOLD;
    EXPECT_EQ(fm_read(other.handle.get()), 1);
    g_ev.clear();
    set(p, 0, "A002");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 0);
    EXPECT_EQ(status(p), FM_ST_HELD_SELF);
    EXPECT_EQ(g_ev, (Ev{"3", "11"}));
    EXPECT_EQ(int(pi_area_rec<PdArea11>(p, 11)->phase), 3);
    FM_CLOSE(other.handle.get(), 0);
    // Event point errors: 04 fails a write before the file is touched.
    g_ep_errors[4] = 1;
    set(p, 0, "A009");
    EXPECT_EQ(pi_write(p), 0);
    EXPECT_EQ(res(p), kPiRsEp04);
    g_ep_errors[3] = 2;
    set(p, 0, "A001");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 0);
    EXPECT_EQ(res(p), kPiRsEp03);
    // A failed read: 32 with the file's status, no event point.
    g_ev.clear();
    set(p, 0, "ZZZZ");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 0);
    EXPECT_EQ(res(p), kPiRsFile);
    EXPECT_EQ(status(p), FM_ST_NO_RECORD);
    EXPECT_TRUE(g_ev.empty());
    // Delete of the held record.
    set(p, 0, "A003");
    phase(p, 2);
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    g_ev.clear();
    EXPECT_EQ(pi_del(p), 1);
    EXPECT_EQ(g_ev, (Ev{"5"}));
    return 2;
  });
  EXPECT_EQ(rc, 2);
  auto m = contents();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m["A001"].substr(4, 10), "ALEPH     ");
  EXPECT_EQ(m["A002"].substr(4, 10), "BETA      ");
}

// pi_read without a stream is 200450; pi_rdnxt without one answers 1.
TEST_F(Pcf, VerbsWithoutAStream) {
  define({{"SUB", 6}});
  Pcb* p = e.pcb("SUB", 2, 6);
  EXPECT_EQ(pi_read(p, FM_OP_FIRST), 0);
  EXPECT_EQ(res(p), int(kPiStNoRecord));
  EXPECT_EQ(pi_rdnxt(p, 0), 1);
  Engine::free_pcb(p);
}

// Stamps: the signed-on user in the added-by and changed-by fields, today
// in the date stamps; a rewrite changes only the changed-by ones.
TEST_F(Pcf, WriteAndRewriteStampUserAndDate) {
  define_pcf("ACT", 4, {}, [](EmCfi*, EmHeader* em) {
    PcPcfCmpl& pr = pc_pcf_cmpl(em);
    pr.stamp_off[0] = 22;  // added by
    pr.stamp_off[1] = 25;  // changed by
    for (int i : {0, 1}) {
      DateStampRec& d = pr.date[i];
      d.offset = 28 + 4 * i;  // binary day numbers
      d.type = 7;
      d.high = 8;
      d.low = 5;
      d.len = 4;
      d.mask_len = 0;
    }
  });
  put("B001", "OLD");
  HostTime now;
  os_quvo_time(&now);
  uint32_t today = now.day;
  run("ACT", 4, [&](Pcb* p) {
    set(p, 0, "B002");
    set(p, 22, "       ");
    EXPECT_EQ(pi_write(p), 1);
    com.user_id.set("ZED");
    set(p, 0, "B001");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    EXPECT_EQ(pi_rewrite(p), 1);
    return 2;
  });
  auto m = contents();
  auto u32 = [](const std::string& s, int at) {
    uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
  };
  EXPECT_EQ(m["B002"].substr(22, 6), "USRUSR");
  EXPECT_EQ(u32(m["B002"], 28), today);
  EXPECT_EQ(u32(m["B002"], 32), today);
  EXPECT_EQ(m["B001"].substr(22, 6), "   ZED");
  EXPECT_EQ(m["B001"].substr(28, 4), "    ");
  EXPECT_EQ(u32(m["B001"], 32), today);
}

// Change cascade: a key change runs the child once in automatic mode 1
// with the new values (after both rounds of 61), then its 62; a change
// of no constrained key runs only the 61s; a child ending with 37 fails
// the rewrite with 200860 and the new record back in the area. A delete
// guard refuses with 300550 before any cascade; a delete cascade runs the
// child in automatic mode 2.
TEST_F(Pcf, CascadesAndDeleteGuards) {
  define_pcf("ACT", 4, {{"CHLD", 4}, {"KEEP", 4}}, [](EmCfi*, EmHeader* em) {
    pc_pcf_cmpl(em).stamp_off[2] = 38;  // delete-guard flag
    add_child(em, 1, "CHLD", true, true);
    add_child(em, 2, "KEEP", false, false);
  });
  put("C001", "ONE");
  put("C002", "TWO");
  int child_code = 2;
  Pcb* caller = nullptr;
  std::vector<uint32_t> frames;  // the caller's current frame and image while a child runs
  g_run["CHLD"] = [&](Pcb*) {
    frames.push_back(caller->run.frame);
    frames.push_back(caller->run.image);
    return child_code;
  };
  int rc = run("ACT", 4, [&](Pcb* p) {
    caller = p;
    p->run.frame = 7;
    p->run.image = 3;
    pi_area_rec<PdArea9>(p, 9)->db_opts = 2;
    set(p, 0, "C001");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    // A change of the name only (not a key): the 61s, no run.
    g_ev.clear();
    set(p, 4, "UNO       ");
    EXPECT_EQ(pi_rewrite(p), 1);
    EXPECT_EQ(g_ev, (Ev{"11", "4", "61/CHLD", "11", "61/CHLD", "11", "5"}));
    EXPECT_TRUE(g_children.empty());
    // A key change: the child once, with the new key and name.
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    g_ev.clear();
    set(p, 0, "C009");
    set(p, 4, "NOVE      ");
    EXPECT_EQ(pi_rewrite(p), 1);
    // (the child's own 01 and 06 between)
    EXPECT_EQ(g_ev, (Ev{"11", "4", "61/CHLD", "11", "61/CHLD", "1", "6", "62/CHLD", "11", "5"}));
    if (g_children.size() == 1) {
      EXPECT_EQ(g_children[0].name, "CHLD");
      EXPECT_EQ(g_children[0].auto_mode, 1);
      EXPECT_EQ(g_children[0].values, "C009NOVE      ");
    } else {
      ADD_FAILURE() << g_children.size() << " child runs";
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec_of(p)), 4), "C009");
    // A child ending with 37: 200860, the new record stays in the area.
    g_children.clear();
    child_code = 37;
    set(p, 0, "C002");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    set(p, 0, "C008");
    EXPECT_EQ(pi_rewrite(p), 0);
    EXPECT_EQ(res(p), kPiRsFile);
    EXPECT_EQ(status(p), kPiStChild37);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec_of(p)), 4), "C008");
    EXPECT_EQ(std::memcmp(p->pcf_buf1.get(), rec_of(p), kLen), 0);
    // Each child ran with its frame and image current; the caller's came back.
    EXPECT_EQ(frames, (std::vector<uint32_t>{5, 2, 5, 2}));
    EXPECT_EQ(p->run.frame, 7u);
    EXPECT_EQ(p->run.image, 3u);
    child_code = 2;
    // The guard: 300550, no cascade, the record stays.
    set(p, 0, "C009");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    set(p, 38, "1");
    g_ev.clear();
    g_children.clear();
    EXPECT_EQ(pi_del(p), 0);
    EXPECT_EQ(status(p), kPiStGuard);
    EXPECT_EQ(res(p), kPiRsFile);
    EXPECT_TRUE(g_ev.empty());
    EXPECT_TRUE(g_children.empty());
    // Without the guard: the delete cascade, then the delete.
    set(p, 38, " ");
    EXPECT_EQ(pi_del(p), 1);
    EXPECT_EQ(g_ev, (Ev{"61/CHLD", "1", "6", "62/CHLD", "3", "11", "5"}));
    EXPECT_EQ(g_children.size(), 1u);
    if (!g_children.empty()) {
      EXPECT_EQ(g_children[0].auto_mode, 2);
    }
    return 2;
  });
  EXPECT_EQ(rc, 2);
  auto m = contents();
  EXPECT_EQ(m.count("C001"), 0u);
  EXPECT_EQ(m.count("C009"), 0u);
  EXPECT_EQ(m.count("C008"), 1u);  // the rewrite itself was done before the cascade
}

// Record security: a record whose code the profile does not allow is
// skipped by read-next and by a first read, refused by an equal read with
// 200450; a code past the profile's access map is refused, not read.
TEST_F(Pcf, RecordSecurityHidesRecords) {
  define_pcf("OUT", 3, {}, [](EmCfi* r, EmHeader*) { r->elem1_off = 18; });
  put("D000", "HIDDEN", 0, "0004");
  put("D001", "OPEN", 0, "0003");
  put("D002", "SECRET", 0, "0005");
  put("D003", "FAR", 0, "9999");
  put("D004", "PLAIN");
  use_profile("P1", {3});
  run("OUT", 3, [&](Pcb* p) {
    EXPECT_NE(p->profile.get(), nullptr);
    EXPECT_EQ(static_cast<PiFileCtl*>(p->pcf_entry.get())->cfi->elem1_off, 18);
    std::vector<std::string> seen;
    int ok = pi_read(p, FM_OP_FIRST);
    while (ok) {
      seen.push_back(std::string(reinterpret_cast<char*>(rec_of(p)), 4));
      ok = pi_rdnxt(p, 0);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"D001", "D004"}));
    EXPECT_EQ(status(p), FM_ST_EOF);
    set(p, 0, "D002");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 0);
    EXPECT_EQ(status(p), kPiStNoRecord);
    EXPECT_EQ(res(p), kPiRsFile);
    set(p, 0, "D003");
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 0);
    EXPECT_EQ(status(p), kPiStNoRecord);
    return 2;
  });
}

// Holds: an Inquiry process's read holds only when its module's PCF-hold
// mark is set; an Action process outside automatic mode reads next with a
// hold by the same mark; an Input process holds for a change, not for an
// inquiry.
TEST_F(Pcf, HoldRulesFollowTypePhaseAndMark) {
  define_pcf("INQ", 9, {{"ACT", 4}, {"INP", 2}});
  add_cfi("ACT", 4, file, [](EmCfi* r, EmHeader* em) {
    r->rec_ira = 1;
    r->ctl_ira = 2;
    r->use = 1 | 4;
    r->elem1_off = -1;
    em->pcf_file = 1;
    em->pcf_app.set("ABC");
  });
  add_cfi("INP", 2, file, [](EmCfi* r, EmHeader* em) {
    r->rec_ira = 1;
    r->ctl_ira = 2;
    r->use = 1 | 4;
    r->elem1_off = -1;
    em->pcf_file = 1;
    em->pcf_app.set("ABC");
  });
  put("H001", "ONE");
  // Whether another handle can hold H001 now.
  auto free_now = [&] {
    FmFdb f = file;
    EXPECT_EQ(FM_OPEN(&f, com.depth, 0, 15, 15), 1);
    auto* b = static_cast<uint8_t*>(MM_ALLOC(e.pool, kLen));
    std::memcpy(b, "H001", 4);
    PROTO_FULL(f.handle.get(), 0, b);
    f.handle->op = FM_OP_HOLD;
    int ok = fm_read(f.handle.get());
    uint32_t st = f.handle->status;
    FM_CLOSE(f.handle.get(), 0);
    return ok == 1 && st == 0;
  };
  for (int mark : {0, 1}) {
    run("INQ", 9, [&](Pcb* p) {
      p->module->b903 = uint8_t(mark);
      set(p, 0, "H001");
      EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
      EXPECT_EQ(free_now(), mark == 0) << "mark " << mark;
      return 2;
    });
    run("ACT", 4, [&](Pcb* p) {
      p->module->b903 = uint8_t(mark);
      EXPECT_EQ(pi_rdnxt(p, FM_OP_FIRST), 1);
      EXPECT_EQ(free_now(), mark == 0) << "mark " << mark;
      return 2;
    });
  }
  run("INP", 2, [&](Pcb* p) {
    set(p, 0, "H001");
    phase(p, 3);
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    EXPECT_TRUE(free_now());
    phase(p, 7);
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    EXPECT_FALSE(free_now());
    return 2;
  });
}

// The modification log of an Input process, byte for byte: an add (every
// field occurrence), a change (only the occurrences changed, old and new),
// a change past the last field (the header alone), a rewrite that changes
// nothing (no entry), a delete, a delete that fails (no entry); the key
// text of a two-segment key; a value too wide for its field shows as the
// conversion shows it (200050 accepted).
TEST_F(Pcf, ModificationLogRecordsByteForByte) {
  make_file("PCFK", true);
  int serial = 0;
  auto el = [&](const char* name, int number, fx::Values more) {
    fx::Values v = {{"area", "1000005"}, {"work", "0"}, {"name", name}, {"kind", "1"}, {"file", "PCFK"},
                    {"number", std::to_string(number)}, {"occurs", "1"}, {"type", "1"},
                    {"key_kind", "255"}, {"ident_stamp", "2026-03-03T00:00:" + std::to_string(10 + serial++)}};
    for (auto& m : more) v.push_back(m);
    return fx::rec("ELEMENT", v);
  };
  // Given out of offset order: the log walks them by offset.
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00",
                      {el("PK CODE", 4, {{"offset", "18"}, {"length", "4"}}),
                       el("PK KEY", 1, {{"offset", "0"}, {"length", "4"}, {"key_kind", "0"}}),
                       el("PK NAME", 2, {{"offset", "4"}, {"length", "10"}}),
                       el("PK QTY", 3, {{"offset", "14"}, {"length", "4"}, {"type", "5"}, {"digits", "3"}}),
                       el("PK TAGS", 5, {{"offset", "22"}, {"length", "3"}, {"occurs", "2"}})}),
            0);
  define_pcf("INP", 2);
  auto entry = [](int type, const char* app, const char* name, int occ, const char* key, const char* value) {
    std::string r(115, ' ');
    r[0] = char(type);
    std::memcpy(&r[1], app, std::strlen(app));
    std::memcpy(&r[4], name, std::strlen(name));
    r[34] = char(occ);
    std::memcpy(&r[35], key, std::strlen(key));
    std::memcpy(&r[75], value, std::strlen(value));
    return r;
  };
  auto field = [&](const char* name, int occ, const char* old, const char* value) {
    return entry(255, "", name, occ, old, value);
  };
  std::vector<std::string> got;
  run("INP", 2, [&](Pcb* p) {
    EXPECT_EQ(pi_mlog_open(p), 1);
    std::memset(rec_of(p), ' ', kLen);
    set(p, 0, "K001ANNA");
    uint32_t q = 7;
    std::memcpy(rec_of(p) + 14, &q, 4);
    set(p, 18, "XY  ");
    set(p, 22, "ab cd ");
    EXPECT_EQ(pi_write(p), 1);
    // A change of the name and the second tag.
    phase(p, 7);
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    set(p, 4, "BERT");
    set(p, 25, "ce");
    q = 12345;  // too wide for three digits
    std::memcpy(rec_of(p) + 14, &q, 4);
    EXPECT_EQ(pi_rewrite(p), 1);
    // Past the last field: the header alone; nothing changed: nothing.
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    set(p, 38, "Z");
    EXPECT_EQ(pi_rewrite(p), 1);
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    EXPECT_EQ(pi_rewrite(p), 1);
    // A delete that fails (another handle took the record away) logs
    // nothing; one that succeeds logs the record.
    phase(p, 2);
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    {
      FmFdb f = file;
      EXPECT_EQ(FM_OPEN(&f, com.depth, 0, 15, 15), 1);
      auto* b = static_cast<uint8_t*>(MM_ALLOC(e.pool, kLen));
      std::memcpy(b, rec_of(p), kLen);
      PROTO_FULL(f.handle.get(), 0, b);
      EXPECT_EQ(fm_rewrite(p->pcf_stream.get()), 1);  // lets the hold go
      f.handle->op = FM_OP_HOLD;
      EXPECT_EQ(fm_read(f.handle.get()), 1);
      f.handle->op = 0;
      EXPECT_EQ(fm_del(f.handle.get()), 1);
      FM_CLOSE(f.handle.get(), 0);
    }
    EXPECT_EQ(pi_del(p), 0);
    EXPECT_EQ(res(p), kPiRsFile);
    set(p, 0, "K002");
    EXPECT_EQ(pi_write(p), 1);
    EXPECT_EQ(pi_read(p, FM_OP_EQUAL), 1);
    EXPECT_EQ(pi_del(p), 1);
    FmArb* log = p->mod_log.get();
    auto* b = static_cast<uint8_t*>(MM_ALLOC(e.pool, 115));
    PROTO_FULL(log, 0, b);
    log->op = FM_OP_FIRST;
    fm_start(log);
    log->op = 0;
    while (fm_rdnxt(log)) got.emplace_back(reinterpret_cast<char*>(b), 115);
    return 2;
  });
  std::vector<std::string> want = {
      entry(1, "ABC", "PCFK", 0, "K001 XY", ""),
      field("PK KEY", 0, "", "K001"), field("PK NAME", 0, "", "ANNA"), field("PK QTY", 0, "", "  7"),
      field("PK CODE", 0, "", "XY"), field("PK TAGS", 1, "", "ab"), field("PK TAGS", 2, "", "cd"),
      entry(4, "ABC", "PCFK", 0, "K001 XY", ""),
      field("PK NAME", 0, "ANNA", "BERT"), field("PK QTY", 0, "  7", "***"), field("PK TAGS", 2, "cd", "ce"),
      entry(4, "ABC", "PCFK", 0, "K001 XY", ""),
      entry(1, "ABC", "PCFK", 0, "K002 XY", ""),
      field("PK KEY", 0, "", "K002"), field("PK NAME", 0, "", "BERT"), field("PK QTY", 0, "", "***"),
      field("PK CODE", 0, "", "XY"), field("PK TAGS", 1, "", "ab"), field("PK TAGS", 2, "", "ce"),
      entry(2, "ABC", "PCFK", 0, "K002 XY", ""),
      field("PK KEY", 0, "", "K002"), field("PK NAME", 0, "", "BERT"), field("PK QTY", 0, "", "***"),
      field("PK CODE", 0, "", "XY"), field("PK TAGS", 1, "", "ab"), field("PK TAGS", 2, "", "ce"),
  };
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "entry " << i;
}

// The executor doubles' PCF script (here in its text form): each step's
// answer, result word, status and record; a cascaded child is logged with
// its automatic mode and the values handed down, and runs no script.
TEST_F(Pcf, TheExecutorDoublesRunAPcfScript) {
  define_pcf("ACT", 4, {{"CHLD", 4}}, [](EmCfi*, EmHeader* em) { add_child(em, 1, "CHLD", true, false); });
  put("G001", "ONE");
  proc_services_reset();
  proc_svc.ii_proc_exec = ep_log;
  EXPECT_EQ(proc_exec_pcf_text("4=@0=G001;r8|@0=G002;@4=TWO;u|@0=G003;@4=THREE;w|@0=G009;r8|p7x"), 0);
  ASSERT_EQ(proc_exec_pcf_text("4=@0=G001;r8|@0=G002;@4=TWO;u|@0=G003;@4=THREE;w|@0=G009;r8"), 1);
  PiInvoc v = abc_invoc("ACT", 4);
  EXPECT_EQ(pi_run(&v), 2);
  const auto& a = proc_exec_pcf_answers();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(a[0].verb, 'r');
  EXPECT_EQ(a[0].answer, 1);
  EXPECT_EQ(a[0].record.substr(0, 7), "G001ONE");
  EXPECT_EQ(a[1].answer, 1);
  EXPECT_EQ(a[1].record.substr(0, 7), "G002TWO");
  EXPECT_EQ(a[2].answer, 1);
  EXPECT_EQ(a[3].answer, 0);
  EXPECT_EQ(a[3].result, kPiRsFile);
  EXPECT_EQ(a[3].status, FM_ST_NO_RECORD);
  // The key change ran the child once, in automatic mode 1, with the new values.
  int runs = 0;
  for (const auto& c : proc_exec_log())
    if (std::string(c.what) == "ap_exec" && c.name == std::string("CHLD") + std::string(26, ' ')) {
      ++runs;
      EXPECT_EQ(c.auto_mode, 1);
      EXPECT_EQ(c.values, "G002TWO       ");
    }
  EXPECT_EQ(runs, 1);
  auto m = contents();
  EXPECT_EQ(m.size(), 2u);
  EXPECT_EQ(m["G002"].substr(4, 3), "TWO");
  EXPECT_EQ(m["G003"].substr(4, 5), "THREE");
}

// ------------------------------------------------------------ dynamic key --
PiDynaSeg seg(Pcb* p, int at, int len, int type, const char* name) {
  PiDynaSeg s;
  std::memset(static_cast<void*>(&s), 0, sizeof s);
  s.field.set(p->pcf_stream->rec.get() + at);
  s.type = uint8_t(type);
  s.length = uint16_t(len);
  s.order = '+';
  s.name.set(name);
  return s;
}
std::vector<std::string> queued(Pcb* p) {
  std::vector<std::string> out;
  FmArb* q = p->msg_file.get();
  auto* b = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), 400));
  FmArbKeep keep(q);
  PROTO_FULL(q, 0, b);
  q->op = FM_OP_FIRST;
  fm_start(q);
  q->op = 0;
  while (fm_rdnxt(q)) {
    std::string t(reinterpret_cast<char*>(b) + 8, rec::view<LaQueueRec>(b).length);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    out.push_back(t);
  }
  mm_free(b);
  return out;
}

// A field added again turns descending, a third time ascending again; each
// addition queues 300710 with the key's description.
TEST_F(Pcf, DynamicKeyTogglesItsOrderAndSaysSo) {
  define_pcf("INP", 2);
  run("INP", 2, [&](Pcb* p) {
    PiDynaSeg name = seg(p, 4, 10, 1, "NAME"), code = seg(p, 18, 4, 1, "CODE");
    EXPECT_EQ(pi_dyna_add(p, &name), 1);
    EXPECT_EQ(pi_dyna_add(p, &code), 1);
    EXPECT_EQ(pi_dyna_add(p, &name), 1);
    EXPECT_EQ(pi_dyna_text(p), "NAME(-), CODE");
    EXPECT_EQ(pi_dyna_add(p, &name), 1);
    EXPECT_EQ(pi_dyna_text(p), "NAME, CODE");
    PiDynaSeg bad = seg(p, 0, 4, 0, "OPAQUE");
    EXPECT_EQ(pi_dyna_add(p, &bad), 0);
    std::string prefix = la_text(300710);
    prefix = prefix.substr(0, prefix.find('%'));
    auto q = queued(p);
    EXPECT_EQ(q, (std::vector<std::string>{prefix + "NAME", prefix + "NAME, CODE", prefix + "NAME(-), CODE",
                                           prefix + "NAME, CODE"}));
    EXPECT_EQ(pi_dyna_add(p, nullptr), 1);
    EXPECT_EQ(p->dyna.get(), nullptr);
    return 2;
  });
}

// On random data, reads through the dynamic key (a text segment, then a
// descending binary one) come in the order of a stable sort of the records
// by those values (records in record-id order), so equal values by record
// id; the entries follow rewrites and deletes.
TEST_F(Pcf, DynamicKeyOrderIsAStableSortThatFollowsChanges) {
  define_pcf("INP", 2);
  struct R {
    std::string key, name;
    uint16_t qty;
  };
  std::vector<R> recs;  // in write order = record-id order
  uint32_t x = 12345;
  auto rnd = [&] { return x = x * 1103515245u + 12345u, (x >> 16) & 0x7FFF; };
  for (int i = 0; i < 300; ++i) {
    char k[5];
    std::snprintf(k, sizeof k, "%04d", int(rnd() % 10000));
    bool dup = false;
    for (auto& r : recs) dup |= r.key == k;
    if (dup) continue;
    std::string n(1, char('A' + rnd() % 4));
    n += char('a' + rnd() % 3);
    uint16_t q = uint16_t(rnd() % 5 * 1000 + rnd() % 3);  // equal values too
    recs.push_back({k, n, q});
    put(k, n.c_str(), q);
  }
  auto oracle = [&] {
    std::vector<R> v = recs;
    std::stable_sort(v.begin(), v.end(), [](const R& a, const R& b) {
      std::string an = a.name + std::string(10 - a.name.size(), ' '), bn = b.name + std::string(10 - b.name.size(), ' ');
      if (an != bn) return an < bn;
      return a.qty > b.qty;
    });
    std::vector<std::string> keys;
    for (auto& r : v) keys.push_back(r.key);
    return keys;
  };
  auto walk = [&](Pcb* p) {
    std::vector<std::string> got;
    int ok = pi_read(p, FM_OP_FIRST);
    while (ok) {
      got.emplace_back(reinterpret_cast<char*>(rec_of(p)), 4);
      ok = pi_rdnxt(p, 0);
    }
    return got;
  };
  run("INP", 2, [&](Pcb* p) {
    PiDynaSeg name = seg(p, 4, 10, 1, "NAME"), qty = seg(p, 14, 2, 5, "QTY");
    EXPECT_EQ(pi_dyna_add(p, &name), 1);
    EXPECT_EQ(pi_dyna_add(p, &qty), 1);
    EXPECT_EQ(pi_dyna_add(p, &qty), 1);  // descending
    EXPECT_EQ(walk(p), oracle());
    EXPECT_NE(p->dyna.get(), nullptr);
    // A partial key: the first entry at or after "C".
    std::memset(rec_of(p) + 4, ' ', 10);
    set(p, 4, "C");
    std::memset(rec_of(p) + 14, 0xFF, 2);
    EXPECT_EQ(pi_read(p, FM_OP_GE), 1);
    std::vector<std::string> all = oracle();
    std::string first_c;
    for (auto& r : recs)
      if (r.name >= "C" && (first_c.empty() || std::find(all.begin(), all.end(), r.key) < std::find(all.begin(), all.end(), first_c)))
        first_c = r.key;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec_of(p)), 4), first_c);
    // A rewrite moves its entry, a delete takes it away.
    phase(p, 7);
    set(p, 0, recs[5].key.c_str());
    EXPECT_EQ(fm_read(p->pcf_stream.get()), 1);  // the record itself, by its key
    EXPECT_EQ(pi_read(p, FM_OP_RID), 1);          // again through its DYN entry, held
    set(p, 4, "AA        ");
    EXPECT_EQ(pi_rewrite(p), 1);
    recs[5].name = "AA";
    phase(p, 2);
    set(p, 0, recs[9].key.c_str());
    EXPECT_EQ(fm_read(p->pcf_stream.get()), 1);
    EXPECT_EQ(pi_read(p, FM_OP_RID), 1);
    EXPECT_EQ(pi_del(p), 1);
    recs.erase(recs.begin() + 9);
    phase(p, 3);
    EXPECT_EQ(walk(p), oracle());
    return 2;
  });
}

// QUVO_DYNAKEY_PROMPT=0: the cancel process is offered before the first
// record is stored; cancelled, the dynamic key is dropped and reads go on
// by the file's key; not cancelled, they go through the dynamic key. With
// no cancel process defined, no one cancels.
TEST_F(Pcf, DynamicKeyFillCanBeCancelled) {
  ASSERT_EQ(fx::write("APPL", nullptr, nullptr, {fx::appl("0LA", "00")}), 1);
  define_pcf("INP", 2);
  put("E001", "ZED");
  put("E002", "ADA");
  setenv("QUVO_DYNAKEY_PROMPT", "0x0", 1);
  run("INP", 2, [&](Pcb* p) {
    PiDynaSeg name = seg(p, 4, 10, 1, "NAME");
    EXPECT_EQ(pi_dyna_add(p, &name), 1);
    EXPECT_EQ(pi_read(p, FM_OP_FIRST), 1);
    EXPECT_NE(p->dyna.get(), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec_of(p)), 4), "E002");
    return 2;
  });
  ASSERT_EQ(fx::write("PROCESS", "0LA", "00", {proc_rec("CANCEL DYNAKEY", 2, "0")}), 1);
  descs()["CANCEL DYNAKEY"] = Desc{};
  int cancel = 4;
  g_run["CANC"] = [&](Pcb*) { return cancel; };
  int prompts = 0;
  run("INP", 2, [&](Pcb* p) {
    g_run["CANC"] = [&](Pcb*) {
      ++prompts;
      return cancel;
    };
    PiDynaSeg name = seg(p, 4, 10, 1, "NAME");
    EXPECT_EQ(pi_dyna_add(p, &name), 1);
    EXPECT_EQ(pi_read(p, FM_OP_FIRST), 1);
    EXPECT_EQ(prompts, 1);
    EXPECT_EQ(p->dyna.get(), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec_of(p)), 4), "E001");
    cancel = 2;
    EXPECT_EQ(pi_dyna_add(p, &name), 1);
    EXPECT_EQ(pi_read(p, FM_OP_FIRST), 1);
    EXPECT_EQ(prompts, 2);
    EXPECT_NE(p->dyna.get(), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec_of(p)), 4), "E002");
    return 2;
  });
  unsetenv("QUVO_DYNAKEY_PROMPT");
}

// ------------------------------------------------------ query streams --
// A query the test defines over the PCF: selection lines on QTY (signed
// binary) and CODE (alpha 4) joined by a text, and sort fields CODE then
// QTY (or QTY alone).
struct QDef {
  std::vector<PbQslct> lines;
  std::string text;
  std::function<bool(const std::vector<bool>&)> eval;   // the text over the lines' outcomes
  std::vector<std::pair<bool, char>> sort;               // (field is CODE, order)
  std::string criteria() const {
    std::string c = text;
    for (auto& [code, order] : sort) c += std::string(1, code ? 'C' : 'Q') + order;
    for (const PbQslct& l : lines) c.append(reinterpret_cast<const char*>(&l), sizeof l);
    return c;
  }
};
PbQslct qline(uint32_t no, bool code, uint8_t rel, const std::string& value) {
  PbQslct l;
  std::memset(static_cast<void*>(&l), ' ', sizeof l);
  l.kind = 8;
  l.line = no;
  l.relation = rel;
  l.on = '1';
  l.mentioned = '0';
  l.l_field.set(code ? "CODE" : "QTY");
  l.r_value.set(value);
  return l;
}
int32_t qty_of(const uint8_t* r) { return int32_t(rec::view<rec::U32>(const_cast<uint8_t*>(r) + 14).get()); }
std::string code_of(const uint8_t* r) { return std::string(reinterpret_cast<const char*>(r) + 18, 4); }
// Relations 1 =, 2 >=, 3 >, 4 <=, 5 <, 6 <>.
bool qholds(const PbQslct& l, const uint8_t* r) {
  int c;
  if (l.l_field.str() == "CODE") {
    std::string v = l.r_value.str().substr(0, 4);
    v.resize(4, ' ');
    c = code_of(r).compare(v);
  } else {
    int64_t w = std::stoll(l.r_value.str()), x = qty_of(r);
    c = x < w ? -1 : x > w;
  }
  switch (l.relation) {
    case 1: return c == 0;
    case 2: return c >= 0;
    case 3: return c > 0;
    case 4: return c <= 0;
    case 5: return c < 0;
    default: return c != 0;
  }
}

// What a brute force over the file's records (in key order) gives for a
// query: the records its text selects, stably sorted by its fields; with
// level events, level starts 0..n, then per record its level ends and
// starts from the first sort field it differs in, and ends n..0.
std::vector<std::string> brute(const std::map<std::string, std::string>& file, const QDef& d, bool events) {
  std::vector<std::string> sel;
  for (auto& [k, r] : file) {
    auto* p = reinterpret_cast<const uint8_t*>(r.data());
    std::vector<bool> out;
    for (const PbQslct& l : d.lines) out.push_back(qholds(l, p));
    if (d.eval(out)) sel.push_back(r);
  }
  auto cmp = [&](const std::string& a, const std::string& b, size_t f) {
    auto* x = reinterpret_cast<const uint8_t*>(a.data());
    auto* y = reinterpret_cast<const uint8_t*>(b.data());
    int c = d.sort[f].first ? code_of(x).compare(code_of(y)) : (qty_of(x) > qty_of(y)) - (qty_of(x) < qty_of(y));
    return d.sort[f].second == '-' ? -c : c;
  };
  std::stable_sort(sel.begin(), sel.end(), [&](const std::string& a, const std::string& b) {
    for (size_t f = 0; f < d.sort.size(); ++f)
      if (int c = cmp(a, b, f)) return c < 0;
    return false;
  });
  int n = int(d.sort.size());
  std::vector<std::string> ev;
  for (int l = 0; events && l <= n; ++l) ev.push_back("S" + std::to_string(l));
  for (size_t i = 0; i < sel.size(); ++i) {
    if (events && i > 0) {
      int b = n + 1;
      for (int f = 0; f < n && b > n; ++f)
        if (cmp(sel[i - 1], sel[i], size_t(f))) b = f + 1;
      for (int l = n; l >= b; --l) ev.push_back("E" + std::to_string(l));
      for (int l = b; l <= n; ++l) ev.push_back("S" + std::to_string(l));
    }
    ev.push_back(sel[i].substr(0, 4));
  }
  for (int l = n; events && l >= 0; --l) ev.push_back("E" + std::to_string(l));
  return ev;
}

// A process whose invocation names a query reads its own file through the
// query stream: an Inquiry process (no level events) and an Action process
// (level starts and ends) read with pi_rdnxt exactly what a brute force
// selects, in order. Invocations of the same run share the active query as
// the reuse mode says (0 reuse, 2 rebuild under the same id, 1 reuse while
// the criteria stand, else rebuild under a new id); the query process is
// run for criteria once (pb_auto_setup); each stream goes with its process
// and the query with the run.
TEST_F(Pcf, AProcessInvokedWithAQueryReadsExactlyItsRecordsInOrder) {
  setenv("QUVO_184_IPC", "1", 1);
  ASSERT_EQ(pi_init(), 1);
  unsetenv("QUVO_184_IPC");
  pb_init();
  os_sys_err_log_clear();
  define_pcf("KID", 4, {{"INQ", 9}, {"TOP", 4}, {"ORDERS", 5}});
  add_cfi("INQ", 9, file, [](EmCfi* r, EmHeader* em) {
    r->rec_ira = 1;
    r->ctl_ira = 2;
    r->use = 1;
    r->elem1_off = -1;
    em->pcf_file = 1;
    em->pcf_app.set("ABC");
    PcPcfCmpl& pr = pc_pcf_cmpl(em);
    for (auto& s : pr.stamp_off) s = -1;
    for (auto& d : pr.date) d.offset = -1;
  });
  const char* codes[] = {"AA  ", "AB  ", "B   ", "ZZ  "};
  const int32_t qtys[] = {INT32_MIN, -2, -1, 0, 1, 2, INT32_MAX};
  std::mt19937 rng(33);
  for (int i = 0; i < 300; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "K%03d", i);
    put(key, "N", uint32_t(qtys[rng() % 7]), codes[rng() % 4]);
  }
  std::map<std::string, std::string> data = contents();

  QDef d1{{qline(1, false, 2, "0"), qline(2, true, 1, "AB")}, "1 OR 2",
          [](const std::vector<bool>& v) { return v[0] || v[1]; }, {{true, '+'}, {false, '-'}}};
  QDef d2{{qline(1, false, 5, "1"), qline(2, true, 6, "ZZ")}, "1 AND 2",
          [](const std::vector<bool>& v) { return v[0] && v[1]; }, {{true, '+'}, {false, '-'}}};
  QDef d3{{qline(1, true, 2, "B")}, "1", [](const std::vector<bool>& v) { return v[0]; }, {{false, '+'}}};
  QDef cur = d1;
  int builds = 0, invoked = 0;
  int scope = -1;
  Pcb* setup_parent = nullptr;
  pb_set_define([&](const FmScbQuery& b, PbQueryDef* out) {
    scope = int(b.scope);
    out->criteria = cur.criteria();
    if (out->criteria_only) return 1;
    ++builds;
    out->lines = cur.lines;
    out->text8 = cur.text;
    out->test = [](const PbQslct& l, const uint8_t* r) { return qholds(l, r); };
    uint8_t level = 0;
    for (auto& [code, order] : cur.sort) {
      PbKeyField k;
      k.level = ++level;
      k.order = order;
      if (code) k.type = 1, k.offset = 18, k.len = 4;
      else k.type = 5, k.offset = 14, k.len = 4, k.is_signed = true;
      out->key.fields.push_back(k);
    }
    out->id_key = 0;
    return 1;
  });
  pb_set_invoke_setup([&](const FmScbQuery& q, void* parent) {
    ++invoked;
    setup_parent = static_cast<Pcb*>(parent);
    DProc def;
    if (!pb_get_dproc("ABC", "ORDERS", "00", 5, &def, 0)) return 0;
    FmFdb id;
    pb_susp_ident("ABC", "00", def, int(q.scope), &id);
    return pb_pend_add(id);
  });

  struct Step {
    const char* name;
    int type;
    uint8_t reuse;
    const QDef* now;    // the criteria as the step starts
    const QDef* read;   // what the stream delivers
    int builds;
    bool same_id;
  };
  const std::vector<Step> steps = {
      {"INQ", 9, 0, &d1, &d1, 1, true}, {"KID", 4, 0, &d2, &d1, 1, true}, {"KID", 4, 2, &d2, &d2, 2, true},
      {"KID", 4, 1, &d2, &d2, 2, true}, {"KID", 4, 1, &d3, &d3, 3, false}};
  std::vector<std::vector<std::string>> got;
  std::vector<Pcb*> kids;
  g_run["KID"] = g_run["INQ"] = [&](Pcb* p) {
    kids.push_back(p);
    if (!p->pcf_stream) return ADD_FAILURE() << "no stream", 2;
    std::vector<std::string> ev;
    for (int n = 0; n < 5000 && pi_rdnxt(p, 0) == 1; ++n) {
      FmArb* st = p->pcf_stream.get();
      uint32_t s = st->status;
      ev.push_back(s == 200620 ? "S" + std::to_string(st->level) : s == 200370 ? "E" + std::to_string(st->level)
                                                                               : std::string(reinterpret_cast<char*>(rec_of(p)), 4));
    }
    EXPECT_EQ(status(p), 200360u);
    got.push_back(ev);
    return 2;
  };
  // The first read by a process of its own; then a process invokes the
  // others as related processes run in its process scope.
  cur = d1;
  PiInvoc v0 = abc_invoc("KID", 4);
  v0.query_app.set("ABC");
  v0.query_name.set("ORDERS");
  EXPECT_EQ(pi_run(&v0), 2);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], brute(data, d1, true));
  EXPECT_EQ(pb_active(scope), 0u);    // the process's end ended the query
  EXPECT_EQ(invoked, 1);
  EXPECT_EQ(setup_parent, kids.front());
  uint32_t first_id = 0;
  builds = 0;
  g_run["TOP"] = [&](Pcb* top) {
    // The language a process hands on: none (the fixture's areas start zeroed).
    pi_area_rec<PdStatus>(top, 7)->next_lang.clear();
    for (size_t i = 0; i < steps.size(); ++i) {
      const Step& s = steps[i];
      cur = *s.now;
      PiInvoc v = abc_invoc(s.name, s.type, 1, top);
      v.query_app.set("ABC");
      v.query_name.set("ORDERS");
      v.query_reuse = s.reuse;
      pi_exec(&v);
      EXPECT_EQ(v.completion, 2) << i;
      if (got.size() != i + 2) return ADD_FAILURE() << "step " << i << " read nothing", 2;
      EXPECT_EQ(got.back(), brute(data, *s.read, s.type == 4)) << "step " << i;
      EXPECT_EQ(builds, s.builds) << i;
      PbCounts c;
      if (!pb_counts(scope, "ABC", "ORDERS", &c)) return ADD_FAILURE() << "step " << i << ": no active query", 2;
      if (i == 0) first_id = c.id;
      EXPECT_EQ(c.id == first_id, s.same_id) << i;
      EXPECT_EQ(c.cursors, 0u) << i;   // the stream went with its process
    }
    EXPECT_EQ(scope, int(com.proc_scope));
    EXPECT_EQ(pb_active(scope), 1u);
    return 2;
  };
  EXPECT_EQ(run("TOP", 4, g_run["TOP"]), 2);
  EXPECT_EQ(got.size(), steps.size() + 1);
  EXPECT_EQ(invoked, 1);   // the query process's pending record stands
  EXPECT_EQ(pb_active(scope), 0u);    // the process's end ended the query
  pb_set_define(nullptr);
  pb_set_invoke_setup(nullptr);
  EXPECT_TRUE(os_sys_err_log().empty());
}

}  // namespace
