// Child selection constraints: selection lines of a child invocation,
// written as dictionary records, compiled into the child's constraint
// arrays; the child, invoked with them, reads only its constrained records
// of a native file; a key change cascades to it through its compiled
// constraints.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "files/fmcat.h"
#include "foundation/os.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "process/pc.h"
#include "process/pc_fixture.h"
#include "process/pcb.h"
#include "process/pi_fixture.h"
#include "process/pipcf.h"
#include "process/pl.h"
#include "support/syserr.h"

namespace {

using pltest::Engine;

constexpr int kAction = 4;
constexpr uint32_t kParArea = 1000011, kDetArea = 1000012;

int g_serial = 0;
fx::Rec elem(const char* name, const char* file, uint32_t area, int number, int offset, int type, int length,
             fx::Values more = {}) {
  char stamp[32];
  ++g_serial;
  std::snprintf(stamp, sizeof stamp, "2026-06-06T00:%02d:%02d", g_serial / 60 % 60, g_serial % 60);
  fx::Values v = {{"area", std::to_string(area)}, {"work", file[0] ? "0" : "1"}, {"name", name}, {"kind", "1"},
                  {"file", file}, {"number", std::to_string(number)}, {"field_no", std::to_string(number)},
                  {"offset", std::to_string(offset)}, {"length", std::to_string(length)}, {"occurs", "1"},
                  {"type", std::to_string(type)}, {"key_kind", "255"}, {"ident_stamp", stamp},
                  {"low_given", "255"}, {"high_given", "255"}, {"rng_code1", "255"}, {"rng_code2", "255"}};
  for (auto& m : more) {
    auto it = std::find_if(v.begin(), v.end(), [&](auto& x) { return x.first == m.first; });
    if (it != v.end()) it->second = m.second;
    else v.push_back(m);
  }
  return fx::rec("ELEMENT", v);
}

// A selection line of child `child` of frame 1 of process `proc` (type 4):
// the child's field `field` equal to a value (rapp blank) or to field
// `value` of rapp; key: the line's key flag.
fx::Rec line(const char* proc, uint32_t child, uint32_t no, const char* field, const char* rapp, const char* value,
             bool key = false) {
  return fx::rec("SELECT", {{"proc_type", "4"}, {"proc_name", proc}, {"frame_no", "1"},
                            {"b40", std::to_string(child)}, {"line", std::to_string(no)},
                            {"text_kind", key ? "49" : "0"}, {"l_app", "ABC"}, {"l_field", field},
                            {"r_app", rapp}, {"r_value", value}, {"relation", "1"}});
}

struct Slct : ::testing::Test {
  Engine e;
  void SetUp() override {
    ii_families_register();
    e.start();
    e.dictionary();
    ASSERT_NO_FATAL_FAILURE(pltest::compiler_setup());
    ASSERT_EQ(pi_init(), 1);
    pitest::g_ap = nullptr;
    proc_svc.ap_exec = pitest::ap_double;
    proc_exec_log_clear();
    os_sys_err_log_clear();
    // PAR: the parent's file, keyed by PAR A. DET: the child's, keyed
    // uniquely by the group DET KEY (DET A, DET B) and with duplicates by
    // DET C. W: a work field.
    ASSERT_GE(fx::write("ELEMENT", "ABC", "00",
                        {elem("PAR A", "PAR", kParArea, 1, 0, 1, 4,
                              {{"key_kind", "0"}, {"key_no", "0"}, {"key_dups", "0"}}),
                         elem("PAR B", "PAR", kParArea, 2, 4, 5, 4), elem("PAR X", "PAR", kParArea, 3, 8, 1, 8),
                         elem("DET KEY", "DET", kDetArea, 1, 0, 1, 8,
                              {{"kind", "2"}, {"domain", "DET B"}, {"key_kind", "0"}, {"key_no", "0"},
                               {"key_dups", "0"}}),
                         elem("DET A", "DET", kDetArea, 2, 0, 1, 4), elem("DET B", "DET", kDetArea, 3, 4, 5, 4),
                         elem("DET C", "DET", kDetArea, 4, 8, 1, 8,
                              {{"key_kind", "1"}, {"key_no", "1"}, {"key_dups", "1"}}),
                         elem("W", "", 3000021, 900, 0, 1, 8), elem("W3", "", 3000022, 901, 0, 1, 3)}),
              0);
    ASSERT_GE(fx::write("FILE", "ABC", "00",
                        {fx::rec("FILE", {{"name", "PAR"}, {"org", "3"}, {"rec_len", "16"}, {"key_count", "1"},
                                          {"key_elem[1]", "1"}, {"area", std::to_string(kParArea)},
                                          {"area2", "2000021"}}),
                         fx::rec("FILE", {{"name", "DET"}, {"org", "3"}, {"rec_len", "16"}, {"key_count", "2"},
                                          {"key_elem[1]", "1"}, {"key_elem[2]", "4"},
                                          {"area", std::to_string(kDetArea)}, {"area2", "2000022"}})}),
              0);
    std::vector<fx::Rec> images;
    for (const char* name : {"PAR     ", "DET     "})
      for (uint8_t kind = 1; kind <= 2; ++kind) {
        fx::Rec r(13 + 16, kind == 1 ? ' ' : 'N');
        std::memcpy(r.data(), name, 8);
        r[8] = kind;
        rec::view<rec::U32>(r.data() + 9) = 1u;
        images.push_back(r);
      }
    ASSERT_EQ(fx::write("INITIAL", "ABC", "00", images), 4);
    process("KID", "DET", {});
  }
  void TearDown() override {
    pitest::g_ap = nullptr;
    e.stop();
  }
  // An Action process over `pcf` with frame 1 and the children numbered in
  // `children` (each invoking KID, cascading on a key change), and its
  // selection lines.
  void process(const char* name, const char* pcf, std::vector<uint32_t> children,
               const std::vector<fx::Rec>& lines = {}, const char* save = "0") {
    static int stamps = 0;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "2026-06-06T01:00:%02d", ++stamps % 60);
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00",
                        {fx::rec("PROCESS", {{"proc_type", "4"}, {"proc_name", name}, {"title", "T"},
                                             {"flag31", "1"}, {"save_flag", save}, {"retention", "50"},
                                             {"added", stamp}, {"changed", stamp}, {"pcf_app", "ABC"},
                                             {"pcf_file", pcf}})}),
              1);
    if (children.empty()) return;
    ASSERT_EQ(fx::write("FRAME", "ABC", "00", {fx::frame(kAction, name, 1)}), 1);
    std::vector<fx::Rec> kids;
    for (uint32_t c : children)
      kids.push_back(fx::rec("CHILD", {{"proc_type", "4"}, {"proc_name", name}, {"frame_no", "1"},
                                       {"child_no", std::to_string(c)}, {"ch_type", "4"}, {"ch_app", "ABC"},
                                       {"ch_name", "KID"}, {"kind", "0"}, {"caller_mode", "1"},
                                       {"reaction", "1"}, {"flag114", "1"}}));
    ASSERT_EQ(fx::write("CHILD", "ABC", "00", kids), int(kids.size()));
    if (!lines.empty()) {
      ASSERT_EQ(fx::write("SELECT", "ABC", "00", lines), int(lines.size()));
    }
  }
  std::vector<DCmplErr> errors(const char* name) {
    std::vector<DCmplErr> out;
    FmArb* f = pc_cmpl_err_file();
    PcBuf<DCmplErr> r;
    PROTO_FULL(f, 0, r.bytes());
    f->op = FM_OP_FIRST;
    fm_start(f);
    f->op = 0;
    while (fm_rdnxt(f))
      if (r->proc_name.str().starts_with(name) && r->proc_type == kAction) out.push_back(*r);
    return out;
  }
  // The data files of the compiled files `names` of process `proc` (native,
  // in the database the processes work in, with their SYSDIR entries),
  // created empty.
  void files(const char* proc, std::initializer_list<const char*> names) {
    Pcb* p = e.pcb(proc, 2, kAction);
    ASSERT_EQ(pl_get(p, 0), 1);
    EmHeader* em = p->module.get();
    auto* ksd = static_cast<FmKdb*>(MM_ALLOC(e.pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
    auto* ssd = static_cast<FmSdb*>(MM_ALLOC(e.pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
    FmFdb sd;
    INIT_DSYSDIR_FDB(&sd, ksd, ssd);
    ASSERT_EQ(FM_CREATE(&sd, com.depth, 0, FM_OPT_CREATE | FM_OPT_NO_SYSDIR, 0, 0), 1);
    for (const char* name : names) {
      FmFdb f{};
      FmArb* c = em->cfi.get();
      c->op = FM_OP_FIRST;
      fm_start(c);
      c->op = FM_OP_FAST;
      while (uint8_t* r = fm_rdnxt_fast(c, 0))
        if (reinterpret_cast<EmCfi*>(r)->fdb.name.str() == name) f = reinterpret_cast<EmCfi*>(r)->fdb;
      c->op = 0;
      ASSERT_EQ(f.name.str(), name);
      f.handle.reset();
      FmFdb made = f;
      ASSERT_EQ(FM_CREATE(&made, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15), 1) << name;
      FM_CLOSE(made.handle.get(), 0);
      auto* ent = static_cast<FmSysdirRec*>(MM_ALLOC(e.pool, sizeof(FmSysdirRec)));
      fm_cat_sysdir_entry(&f, ent);
      PROTO_FULL(sd.handle.get(), 0, reinterpret_cast<uint8_t*>(ent));
      ASSERT_EQ(fm_write(sd.handle.get()), 1);
      fdbs[name] = f;
    }
    FM_CLOSE(sd.handle.get(), 0);
    pl_release(p);
    Engine::free_pcb(p);
  }
  // Writes 16-byte records into data file `name`.
  void put(const char* name, const std::vector<std::string>& recs) {
    FmFdb f = fdbs[name];
    ASSERT_EQ(FM_OPEN(&f, com.depth, 0, 15, 15), 1);
    auto* r = static_cast<uint8_t*>(MM_ALLOC(e.pool, 16));
    for (const std::string& x : recs) {
      std::memcpy(r, x.data(), 16);
      PROTO_FULL(f.handle.get(), 0, r);
      ASSERT_EQ(fm_write(f.handle.get()), 1);
    }
    FM_CLOSE(f.handle.get(), 0);
    mm_free(r);
  }
  std::map<std::string, FmFdb> fdbs;
  // The compiled children of the loaded module, by sequence.
  static std::map<uint32_t, EmCchld*> children(EmHeader* em) {
    std::map<uint32_t, EmCchld*> m;
    FmArb* f = em->cchld.get();
    f->op = FM_OP_FIRST;
    fm_start(f);
    f->op = FM_OP_FAST;
    while (uint8_t* p = fm_rdnxt_fast(f, 0)) m[reinterpret_cast<EmCchld*>(p)->child_no] = reinterpret_cast<EmCchld*>(p);
    f->op = 0;
    return m;
  }
};

struct Cns {
  uint16_t id, offset, length;
  uint32_t value_at;
  uint8_t key, source;
  bool operator==(const Cns&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Cns& c) {
  return o << "{" << c.id << "," << c.offset << "," << c.length << "," << c.value_at << "," << int(c.key) << ","
           << int(c.source) << "}";
}
std::vector<Cns> cns_of(const EmCchld& c) {
  std::vector<Cns> v;
  const auto* p = reinterpret_cast<const FmCns*>(c.invoc.cns_positions.get());
  const auto* d = reinterpret_cast<const PiCnsDesc*>(c.invoc.cns_descs.get());
  for (uint32_t i = 0; p && d && i < c.invoc.cns_count; ++i) {
    EXPECT_EQ(p[i].length.get(), d[i].length.get());
    v.push_back({p[i].id, p[i].offset, p[i].length, d[i].value_at, d[i].key, d[i].source});
  }
  return v;
}

// Each child's lines become its constraints in the order of the fields
// they constrain, values laid end to end; sources are the parent's PCF
// record, another area (a work field) or a constant of the module. A child
// whose constraints fix every byte of a unique key gets the whole-key flag
// and that key's number; part of that key, or all of a key with duplicates,
// does not.
TEST_F(Slct, ChildLinesCompileIntoConstraintArraysAndTheWholeKeyFlag) {
  process("PAR", "PAR", {1, 2, 3, 4, 5},
          {// child 1: all of key 0 (DET A, DET B) and DET C, written out of order
           line("PAR", 1, 1, "DET C", "ABC", "W"), line("PAR", 1, 2, "DET A", "ABC", "PAR A", true),
           line("PAR", 1, 3, "DET B", "", "42"),
           // child 2: DET A only, part of key 0
           line("PAR", 2, 1, "DET A", "ABC", "PAR A", true),
           // child 3: all of key 1, which has duplicates
           line("PAR", 3, 1, "DET C", "", "CCC"),
           // child 4: the group against a group of the same members
           line("PAR", 4, 1, "DET KEY", "ABC", "DET KEY"),
           // child 5: one byte short of key 0: DET B against the 3-byte W3
           line("PAR", 5, 1, "DET A", "ABC", "PAR A"), line("PAR", 5, 2, "DET B", "ABC", "W3")});
  Pcb* p = e.pcb("PAR", 2, kAction);
  ASSERT_EQ(pl_get(p, 0), 1) << (errors("PAR").empty() ? "" : pc_cmpl_err_line(errors("PAR")[0]));
  EmHeader* em = p->module.get();
  auto kids = children(em);
  ASSERT_EQ(kids.size(), 5u);
  const EmCchld& c1 = *kids[1];
  EXPECT_EQ(cns_of(c1), (std::vector<Cns>{{2, 0, 4, 0, 1, kPiCnsFromPcf},
                                          {3, 4, 4, 4, 0, kPiCnsConst},
                                          {4, 8, 8, 8, 0, kPiCnsFromArea}}));
  EXPECT_EQ(c1.invoc.cns_total, 16u);
  EXPECT_EQ(c1.invoc.pcf_app.view(), "ABC");
  EXPECT_EQ(c1.invoc.pcf_file, kDetArea);
  EXPECT_EQ(c1.whole_key, 1);
  EXPECT_EQ(c1.whole_key_no, 0);
  EXPECT_EQ(c1.cns_flags & 2, 2);
  EXPECT_FALSE(c1.invoc.cns_values);
  // The constant is DET B's stored form of 42; the area source is W's IRA.
  const auto* d = reinterpret_cast<const PiCnsDesc*>(c1.invoc.cns_descs.get());
  uint8_t* k = MADDR(em->cnst.get(), d[1].src);
  ASSERT_NE(k, nullptr);
  int32_t v;
  std::memcpy(&v, k, 4);
  EXPECT_EQ(v, 42);
  EXPECT_GT(d[2].src.get(), 0u);
  EXPECT_LE(d[2].src.get(), em->n_areas);
  EXPECT_EQ(d[0].src_off.get(), 0);   // PAR A's offset in the parent's record

  const EmCchld& c2 = *kids[2];
  EXPECT_EQ(cns_of(c2), (std::vector<Cns>{{2, 0, 4, 0, 1, kPiCnsFromPcf}}));
  EXPECT_EQ(c2.whole_key, 0);
  const EmCchld& c3 = *kids[3];
  EXPECT_EQ(cns_of(c3), (std::vector<Cns>{{4, 8, 8, 0, 0, kPiCnsConst}}));
  EXPECT_EQ(c3.whole_key, 0);
  EXPECT_EQ(c3.cns_flags & 2, 0);
  const EmCchld& c4 = *kids[4];
  EXPECT_EQ(cns_of(c4), (std::vector<Cns>{{2, 0, 4, 0, 0, kPiCnsFromArea}, {3, 4, 4, 4, 0, kPiCnsFromArea}}));
  EXPECT_EQ(c4.whole_key, 1);
  const EmCchld& c5 = *kids[5];
  EXPECT_EQ(cns_of(c5), (std::vector<Cns>{{2, 0, 4, 0, 0, kPiCnsFromPcf}, {3, 4, 3, 4, 0, kPiCnsFromArea}}));
  EXPECT_EQ(c5.whole_key, 0);
  pl_release(p);
  Engine::free_pcb(p);
  EXPECT_TRUE(os_sys_err_log().empty());
}

// Lines that do not compile: each an error of its record, the process not
// compiled: a field of another file for the same child (200750 on the
// child, once however many lines name other files), a value its field does
// not take (102520), a field that does not exist (102080).
TEST_F(Slct, BadLinesAreCompileErrors) {
  process("BAD", "PAR", {1, 2, 3},
          {line("BAD", 1, 1, "DET A", "", "A001"), line("BAD", 1, 2, "PAR X", "", "X"),
           line("BAD", 1, 3, "PAR B", "", "1"), line("BAD", 2, 1, "DET B", "", "XYZ"), line("BAD", 3, 1, "NO SUCH", "", "1")});
  Pcb* p = e.pcb("BAD", 2, kAction);
  EXPECT_EQ(pl_get(p, 0), 0);
  std::vector<std::pair<uint32_t, uint32_t>> got;
  for (const DCmplErr& r : errors("BAD")) got.emplace_back(r.kind, r.msg);
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{
                     {kPcErrChild, kPcCnsTwoFiles}, {kPcErrSelect, kPcBadSlctValue}, {kPcErrSelect, kPcNoField}}));
  auto errs = errors("BAD");
  ASSERT_FALSE(errs.empty());
  EXPECT_NE(pc_cmpl_err_line(errs[0]).find("child 0 1"), std::string::npos) << pc_cmpl_err_line(errs[0]);
  Engine::free_pcb(p);
}

// A 16-byte record: alpha a (4), binary b (4), alpha c (8).
std::string rec16(const std::string& a, int32_t b, const std::string& c) {
  std::string r(16, ' ');
  r.replace(0, a.size(), a);
  std::memcpy(r.data() + 4, &b, 4);
  r.replace(8, c.size(), c);
  return r;
}

// Each run: the parent puts its own record's key fields, gathers its
// child's constraint values from their sources (pi_chld_cns, as the frame
// processor does) and invokes it; the child reads its file to the end.
struct Runs {
  std::vector<std::vector<std::string>> got;   // per invocation, the records the child read
  std::vector<std::string> values;             // per invocation, the values handed down
};

// A child invoked with selection lines over a native file reads exactly the
// records a brute force over the file selects: for random files whose
// values sit at and one past the constrained values (A000-A003 around
// A001 and A002; binary limits, -1, 0, 1 and their neighbours), every
// constraint value from the parent's record, and a constant one.
TEST_F(Slct, AConstrainedChildReadsExactlyTheRecordsItsLinesSelect) {
  process("PAR", "PAR", {1, 2, 3},
          {line("PAR", 1, 1, "DET A", "ABC", "PAR A", true), line("PAR", 1, 2, "DET B", "ABC", "PAR B"),
           line("PAR", 2, 1, "DET C", "", "CCC"), line("PAR", 3, 1, "DET C", "ABC", "W")});
  ASSERT_NO_FATAL_FAILURE(files("PAR", {"PAR", "DET"}));
  const std::vector<std::string> as = {"A000", "A001", "A002", "A003"};
  const std::vector<int32_t> bs = {INT32_MIN, INT32_MIN + 1, -2, -1, 0, 1, 2, INT32_MAX - 1, INT32_MAX};
  const std::vector<std::string> cs = {"CCB", "CCC", "CCD", "CC", "CCCC"};
  std::mt19937 rng(33);
  std::vector<std::string> data;
  for (size_t i = 0; i + 1 < as.size(); ++i)   // A003: no records
    for (int32_t b : bs)
      if (rng() % 4 != 0) data.push_back(rec16(as[i], b, cs[rng() % cs.size()]));
  ASSERT_NO_FATAL_FAILURE(put("DET", data));

  struct Ask {
    std::string a;
    int32_t b;
    uint32_t child;
  };
  std::vector<Ask> asks;
  for (int i = 0; i < 40; ++i) asks.push_back({as[rng() % as.size()], bs[rng() % bs.size()], 1});
  asks.push_back({"A001", 3, 1});   // a value no record has
  asks.push_back({"", 0, 2});
  asks.push_back({"", 0, 3});   // the work field W holds "CCD"
  Runs runs;
  pitest::g_ap = [&](Pcb* p) {
    if (p->invoc.name.str().starts_with("KID")) {
      std::vector<std::string> read;
      for (int n = 0; n < 1000 && pi_rdnxt(p, 0) == 1; ++n)
        read.emplace_back(reinterpret_cast<const char*>(p->pcf_stream->rec.get()), 16);
      runs.got.push_back(read);
      return;
    }
    for (const Ask& q : asks) {
      uint8_t* r = p->pcf_stream->rec.get();
      std::string own = rec16(q.a, q.b, "");
      std::memcpy(r, own.data(), 16);
      uint8_t* w = nullptr;
      for (int kind = 0; kind < 5 && !w; ++kind) w = pi_find_addr(p, "ABC", 3000021, kind, 0, nullptr);
      ASSERT_NE(w, nullptr);
      std::memcpy(w, "CCD     ", 8);
      PiInvoc v = p->child_tbl.get()[q.child].cchld->invoc;
      ASSERT_EQ(pi_chld_cns(p, q.child, &v), 1);
      runs.values.emplace_back(reinterpret_cast<const char*>(v.cns_values.get()), v.cns_total);
      v.parent_pcb.set(p);
      v.completion = 0;
      pi_exec(&v);
      EXPECT_EQ(v.completion, 2);
    }
  };
  PiInvoc top = pltest::abc_invoc("PAR", kAction);
  EXPECT_EQ(pltest::pi_run(&top), 2);
  ASSERT_EQ(runs.got.size(), asks.size());
  for (size_t i = 0; i < asks.size(); ++i) {
    std::vector<std::string> want;
    for (const std::string& r : data) {
      bool take = asks[i].child == 1   ? r.compare(0, 8, rec16(asks[i].a, asks[i].b, ""), 0, 8) == 0
                  : asks[i].child == 2 ? r.compare(8, 8, "CCC     ") == 0
                                       : r.compare(8, 8, "CCD     ") == 0;
      if (take) want.push_back(r);
    }
    std::vector<std::string> got = runs.got[i];
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want) << "ask " << i << " " << asks[i].a << " " << asks[i].b;
  }
  EXPECT_EQ(runs.values[runs.values.size() - 2], "CCC     ");
  EXPECT_EQ(runs.values.back(), "CCD     ");
  EXPECT_TRUE(os_sys_err_log().empty());
}

// The change cascade through a compiled child: a rewrite that changes the
// parent's field a key-flagged line names runs the child once, in automatic
// mode 1, with the values gathered from the new record; a rewrite that
// changes only a field of a line without the key flag runs no child.
TEST_F(Slct, AKeyChangeCascadesThroughTheCompiledChild) {
  process("PAR", "PAR", {1},
          {line("PAR", 1, 1, "DET A", "ABC", "PAR A", true), line("PAR", 1, 2, "DET C", "ABC", "PAR X")});
  ASSERT_NO_FATAL_FAILURE(files("PAR", {"PAR", "DET"}));
  ASSERT_NO_FATAL_FAILURE(put("PAR", {rec16("P001", 7, "XA"), rec16("P002", 8, "XB")}));
  ASSERT_NO_FATAL_FAILURE(put("DET", {rec16("P009", 1, "XC"), rec16("P009", 2, "XA"), rec16("P001", 1, "XC")}));
  struct Run {
    int auto_mode;
    std::string values;
    std::vector<std::string> read;
  };
  std::vector<Run> kid;
  std::vector<int> answers;
  pitest::g_ap = [&](Pcb* p) {
    if (p->invoc.name.str().starts_with("KID")) {
      Run r{p->invoc.auto_mode, std::string(reinterpret_cast<const char*>(p->invoc.cns_values.get()),
                                            p->invoc.cns_total), {}};
      for (int n = 0; n < 100 && pi_rdnxt(p, 0) == 1; ++n)
        r.read.emplace_back(reinterpret_cast<const char*>(p->pcf_stream->rec.get()), 16);
      kid.push_back(r);
      return;
    }
    uint8_t* r = p->pcf_stream->rec.get();
    auto set = [&](int at, const char* text) { std::memcpy(r + at, text, std::strlen(text)); };
    p->invoc.auto_mode = 1;   // reads hold the record, as an automatic run's do
    set(0, "P001");
    answers.push_back(pi_read(p, FM_OP_EQUAL));
    set(8, "XC      ");   // the line without the key flag: no cascade
    answers.push_back(pi_rewrite(p));
    set(0, "P001");
    answers.push_back(pi_read(p, FM_OP_EQUAL));
    set(0, "P009");       // the key-flagged line's field: the child runs
    answers.push_back(pi_rewrite(p));
  };
  PiInvoc top = pltest::abc_invoc("PAR", kAction);
  EXPECT_EQ(pltest::pi_run(&top), 2);
  EXPECT_EQ(answers, (std::vector<int>{1, 1, 1, 1}));
  ASSERT_EQ(kid.size(), 1u);
  EXPECT_EQ(kid[0].auto_mode, 1);
  EXPECT_EQ(kid[0].values, "P009XC      ");
  // In automatic mode the child reads under its constraints with the new
  // values.
  EXPECT_EQ(kid[0].read, (std::vector<std::string>{rec16("P009", 1, "XC")}));
  EXPECT_TRUE(os_sys_err_log().empty());
}

// A saved module keeps its children's constraints: loaded back, the arrays
// equal the compiled ones. The saved file is untrusted: one whose count
// passes its arrays is refused and compiled again, never read past them.
TEST_F(Slct, ASavedModuleKeepsTheConstraintsAndOneWithACountPastItsArraysIsCompiledAgain) {
  process("SAV", "PAR", {1}, {line("SAV", 1, 1, "DET A", "ABC", "PAR A", true), line("SAV", 1, 2, "DET B", "", "5")},
          "1");
  auto child1 = [&](std::vector<Cns>* out) {
    Pcb* p = e.pcb("SAV", 2, kAction);
    ASSERT_EQ(pl_get(p, 0), 1);
    *out = cns_of(*children(p->module.get())[1]);
    pl_release(p);
    pl_flush();
    Engine::free_pcb(p);
  };
  std::vector<Cns> fresh, loaded, damaged;
  ASSERT_NO_FATAL_FAILURE(child1(&fresh));
  uint32_t compiles = pc_compile_count();
  ASSERT_NO_FATAL_FAILURE(child1(&loaded));
  EXPECT_EQ(pc_compile_count(), compiles);   // from the saved file
  EXPECT_EQ(fresh.size(), 2u);
  EXPECT_EQ(loaded, fresh);

  // The compiled child's count raised past its arrays in the saved file.
  PcBuf<DProc> def;
  FmFdb ident;
  uint32_t st = 0;
  Pcb* q = e.pcb("SAV", 2, kAction);
  ASSERT_EQ(read_dproc(q->invoc, def.p, &ident, &st), 1);
  Engine::free_pcb(q);
  ASSERT_NO_FATAL_FAILURE(pltest::rewrite_saved_module(*def.p, [](std::vector<std::vector<uint8_t>>& recs) {
    int changed = 0;
    for (auto& r : recs) {
      if (r.size() != sizeof(EmCchld)) continue;
      auto& c = rec::view<EmCchld>(r.data());
      if (c.invoc.name.str() != "KID" || c.invoc.cns_count != 2) continue;
      c.invoc.cns_count = 3u;
      ++changed;
    }
    EXPECT_EQ(changed, 1);
  }));
  // Such a module is refused before its first run and compiled again,
  // with the constraints as they are.
  SysErrCapture se(SysErrAnswer::Continue);
  ASSERT_NO_FATAL_FAILURE(child1(&damaged));
  EXPECT_EQ(pc_compile_count(), compiles + 1);
  EXPECT_EQ(damaged, fresh);
  for (const SysErrRecord& r : os_sys_err_log()) EXPECT_EQ(r.text.find("bad child constraints"), std::string::npos);
}

}  // namespace
