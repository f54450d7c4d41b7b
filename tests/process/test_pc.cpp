// Process compiler and statement compiler driver: statements written as
// statement text, stored in the dictionary, compiled through the module
// loader and run through the interpreter's event-point entry.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "design/se.h"
#include "design/sefile.h"
#include "files/brf.h"
#include "foundation/os.h"
#include "language/ibmisc.h"
#include "language/ibutil.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pbutil.h"
#include "process/pc.h"
#include "process/piexec.h"
#include "process/pc_fixture.h"
#include "process/pl_fixture.h"
#include "support/child_test.h"
#include "support/syserr.h"

namespace {

using pltest::Engine;

constexpr uint16_t kOpLog = 100;   // the fixture's accumulator: u32 at 4
constexpr uint16_t kOpMask = 104;  // test: the truth mask := g_mask

uint32_t g_mask = 0x3FF;
uint8_t* h_mask(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  s->mask = g_mask;
  return ii_adv(pc, 8);
}

// Test verbs: MESSAGE logs its sequence number, WARNING sets the mask, SET
// compiles its two operands into registers 1 and 2.
int t_log(ScCtx* sc, DStmt* st) {
  uint8_t* p = ib_put(sc_code(sc), kOpLog, 8);
  rec::view<rec::U32>(p + 4) = st->seq;
  return 1;
}
int t_mask(ScCtx* sc, DStmt*) { return ib_put(sc_code(sc), kOpMask, 8) ? 1 : 0; }
int t_set(ScCtx* sc, DStmt* st) {
  CElem a, b;
  std::memset(static_cast<void*>(&a), 0, sizeof a);
  std::memset(static_cast<void*>(&b), 0, sizeof b);
  int k = 0;
  const auto& o1 = rec::view<ScOpnd>(st->ops.b);
  const auto& o2 = rec::view<ScOpnd>(st->ops.b + 30);
  if (!sc_cmpl_ref(sc, o1, &a, 1, &k, kScRefTarget) || !sc_cmpl_ref(sc, o2, &b, 2, &k, 0)) {
    sc_err(sc, sc_msg(sc));
    return 0;
  }
  return 1;
}

std::string line(const char* tf, const char* verb, const std::string& ops = "") {
  char b[128];
  std::snprintf(b, sizeof b, "%-5.5s %-8.8s %s", tf, verb, ops.c_str());
  return b;
}
// The text of process `name` (type 6): its event point 1 holds `lines`.
std::string proc6(const char* name, std::initializer_list<std::string> lines) {
  std::string s = std::string("process 6 ") + name + "\nstatements 1\n";
  for (const auto& l : lines) s += l + "\n";
  return s;
}
std::string set_line(const char* app, const char* field, const char* occ, const char* app2, const char* f2) {
  char b[128];
  std::snprintf(b, sizeof b, "%-3.3s %-22.22s %3.3s =  %-3.3s %-22.22s", app, field, occ, app2, f2);
  return line("", "SET", b);
}

// Calls each(record) for every record of memory file `f`, from its first.
template <class T, class Each>
void each_rec(FmArb* f, Each each) {
  PcBuf<T> r;
  PROTO_FULL(f, 0, r.bytes());
  f->op = FM_OP_FIRST;
  fm_start(f);
  f->op = 0;
  while (fm_rdnxt(f)) each(*r);
}

void no_after(EmHeader*) {}

struct Pc : ::testing::Test {
  Engine e;
  ScCmplFn old45 = nullptr, old83 = nullptr, old69 = nullptr;
  fx::Rec w1;   // the ELEMENT record of work field W1
  void SetUp() override {
    ii_families_register();
    e.start();
    e.dictionary();
    // The signed-on user works in database "DB1" of "ABC" 00.
    ASSERT_NO_FATAL_FAILURE(pltest::compiler_setup());
    pltest::test_op(kOpMask, 8, h_mask);
    old45 = sc_set_cmpl_fn(45, t_log);
    old83 = sc_set_cmpl_fn(83, t_mask);
    old69 = sc_set_cmpl_fn(69, t_set);
    os_sys_err_log_clear();
    // Fields: work field W1 of "ABC" (3 occurrences), the loop letters of
    // "0LA" (A packed, B binary) and an alpha "0LA" field C.
    static int serial = 0;
    auto el = [](const char* name, int type, int len, int occurs, uint32_t area) {
      ++serial;
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2026-01-01T00:%02d:%02d", serial / 60 % 60, serial % 60);
      return fx::rec("ELEMENT", {{"area", std::to_string(area)}, {"work", "1"}, {"name", name}, {"kind", "1"},
                                 {"ident_stamp", stamp}, {"number", std::to_string(serial)},
                                 {"length", std::to_string(len)}, {"occurs", std::to_string(occurs)},
                                 {"type", std::to_string(type)}, {"key_kind", "255"}});
    };
    w1 = el("W1", 1, 10, 3, 3000001);
    // WN: a 4-byte binary work field whose values are written wider than it
    // shows (leading zeros).
    fx::Rec wn = fx::rec("ELEMENT", {{"area", "3000004"}, {"work", "1"}, {"name", "WN"}, {"kind", "1"},
                                     {"ident_stamp", "2026-01-02T00:00:00"}, {"number", "900"},
                                     {"length", "4"}, {"occurs", "1"}, {"type", "5"}, {"key_kind", "255"},
                                     {"null_value", "0000000000000000000000000000007"},
                                     {"initial", "000000000000000000000000000000000000042"}});
    ASSERT_GE(fx::write("ELEMENT", "ABC", "00", {w1, el("W2", 1, 10, 1, 3000001), wn}), 0);
    ASSERT_GE(fx::write("ELEMENT", "0LA", "00",
                        {el("A", 12, 9, 1, 3000002), el("B", 5, 4, 1, 3000002), el("C", 1, 2, 1, 3000002)}),
              0);
  }
  void TearDown() override {
    sc_set_cmpl_fn(45, old45);
    sc_set_cmpl_fn(83, old83);
    sc_set_cmpl_fn(69, old69);
    e.stop();
  }
  // Stores a statement file's text and the PROCESS records it names (type
  // from the file, saved per `save`).
  void define(const std::string& text, const char* save = "0") {
    SeFileResult r;
    ASSERT_EQ(se_read_file("t.stmt", text, nullptr, &r), 0) << (r.errors.empty() ? "" : r.errors[0]);
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
    std::set<std::string> seen;
    std::vector<fx::Rec> procs;
    for (const DStmt& s : r.stmts) {
      std::string n = s.proc_name.str();
      while (!n.empty() && n.back() == ' ') n.pop_back();
      if (seen.insert(n).second) procs.push_back(pltest::proc_rec(n, s.proc_type, save));
    }
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", procs), int(procs.size()));
  }
  // Gets the module (compiling) and runs event point ep: the completion code.
  int run(const char* name, int type = 6, int kind = 2, int ep = 1, uint32_t* acc = nullptr) {
    Pcb* p = e.pcb(name, kind, type);
    auto done = [&](int code) {
      Engine::free_pcb(p);
      return code;
    };
    if (!pl_get(p, 0)) return done(-int(p->invoc.completion.get()));
    pltest::acc() = 0;
    IlfExecBlock b;
    int code = ::mark(0, [&] { II_EXEC_PROC(p, ep, &b); });
    if (acc) *acc = pltest::acc();
    pl_release(p);
    return done(code);
  }
  // Runs the process through the runner (data areas, event points 01 and
  // 06), as the start-up does: its completion code.
  int run_pi(const char* name, int type = 6, int kind = 2) {
    proc_svc.ii_proc_exec = ii_proc_exec;
    if (pi_init() != 1) return -1;
    return pltest::pi_run(name, type, kind);
  }
  std::vector<DCmplErr> errors(const char* name, int type = 6) {
    std::vector<DCmplErr> out;
    FmArb* f = pc_cmpl_err_file();
    each_rec<DCmplErr>(f, [&](const DCmplErr& r) {
      std::string n = r.proc_name.str();
      while (!n.empty() && n.back() == ' ') n.pop_back();
      if (n == name && r.proc_type == type) out.push_back(r);
    });
    return out;
  }
  // A compile context of "ABC" 00 for the loaded process `p`, with a new
  // EM header.
  // `body(ctx, em)` runs between pc_prep and pc_cmpl_finish, then
  // `after(em)`; the header is freed. A `type` gives the header that process
  // type and a blank definition.
  template <class Body, class After = void (*)(EmHeader*)>
  void compile(Pcb* p, Body body, int type = 0, After after = no_after) {
    PcCtx ctx;
    ctx.em = em_new(p);
    ASSERT_NE(ctx.em, nullptr);
    ctx.pcb = p;
    std::memcpy(ctx.app, "ABC", 3);
    std::memcpy(ctx.ver, "00", 2);
    EmHeader* em = ctx.em;
    if (type) {
      em->proc_type = uint8_t(type);
      std::memset(static_cast<void*>(&ctx.def), ' ', sizeof ctx.def);
    }
    ASSERT_EQ(::mark(5,
                     [&] {
                       ASSERT_EQ(pc_prep(&ctx), 1);
                       body(ctx, em);
                       pc_cmpl_finish(&ctx);
                     }),
              1);
    after(em);
    em->use_count = 0;
    pl_free(em, 1);
  }
  // The area entry of class `cls`, number, kind and sub-area `at` in the
  // module's table (its LF records), or null.
  static const EmAreaEntry* area_of(EmHeader* em, int cls, uint32_t number, int kind, uint32_t at) {
    auto* t = reinterpret_cast<EmAreaEntry*>(em->area_table.get());
    for (uint32_t i = 1; i <= em->n_areas; ++i)
      if (t[i].aclass == cls && t[i].number == number && t[i].kind == kind && t[i].sub == at) return &t[i];
    return nullptr;
  }
  // The same for the loaded module of a process whose event point 1 only
  // ends.
  template <class Body, class After = void (*)(EmHeader*)>
  void compile_new(const char* name, Body body, After after = no_after) {
    define(proc6(name, {line("", "END PROC")}));
    Pcb* p = e.pcb(name, 2, 6);
    ASSERT_EQ(pl_get(p, 0), 1);
    compile(p, body, 0, after);
    pl_release(p);
  }
};

// The compile's table of fields against a std::map: keys that differ in
// one byte of the application, the name or the occurrence, across the
// table's growths; an element stays where it was given.
TEST(PcFldTable, KeysAcrossGrowthAgainstAMap) {
  PcFldTable t;
  std::map<std::string, uint32_t> want;
  std::vector<std::pair<PcFldKey, const CElem*>> given;
  std::mt19937 rng(3);
  for (uint32_t n = 0; n < 5000; ++n) {
    PcFldKey k;
    std::memcpy(k.b, "ABC", 3);
    std::memset(k.b + 3, ' ', 24);
    std::snprintf(k.b + 3, 22, "F%u", n / 7);
    k.b[3 + std::strlen(k.b + 3)] = ' ';
    if (n % 7 == 1) k.b[0] = 'X';                    // another application
    k.b[25] = char(n % 7 >= 2 ? n % 7 : 1);          // occurrences 1-6
    k.b[26] = 0;
    std::string key(k.b, sizeof k.b);
    if (want.count(key)) continue;
    ASSERT_EQ(t.find(k), nullptr) << n;
    CElem e{};
    e.ira = n;
    want[key] = n;
    given.emplace_back(k, t.add(k, e));
    if (rng() % 64 != 0) continue;
    for (const auto& [gk, at] : given) ASSERT_EQ(t.find(gk), at);
  }
  for (const auto& [gk, at] : given) {
    ASSERT_EQ(t.find(gk), at);
    EXPECT_EQ(uint32_t(at->ira), want[std::string(gk.b, sizeof gk.b)]);
  }
  t.clear();
  EXPECT_EQ(t.find(given.front().first), nullptr);
}

TEST_F(Pc, EndingsGiveTheirCompletionCodes) {
  define(proc6("EP", {line("", "END PROC")}) + proc6("EX", {line("", "EXIT")}) +
         proc6("LO", {line("", "LOGOUT", "SYSTEM? Y")}) + proc6("LN", {line("", "LOGOUT", "SYSTEM? N")}) +
         proc6("EN", {line("", "MESSAGE", "X"), line("", "END"), line("", "MESSAGE", "Y")}));
  EXPECT_EQ(run("EP"), 2);
  EXPECT_EQ(run("EX", 6, 0), 3);   // SUBPROCESS
  EXPECT_EQ(run("EX", 6, 1), 2);   // RELATED
  EXPECT_EQ(run("EX", 6, 2), 2);   // DETACHED
  EXPECT_EQ(run("LO"), 25);
  EXPECT_EQ(run("LN"), 24);
  // The same through the runner.
  EXPECT_EQ(run_pi("EP"), 2);
  EXPECT_EQ(run_pi("EX", 6, 2), 2);
  EXPECT_EQ(run_pi("LO"), 25);
  EXPECT_EQ(run_pi("LN"), 24);
  uint32_t acc = 0;
  EXPECT_EQ(run("EN", 6, 2, 1, &acc), 1);
  EXPECT_EQ(acc, 100u);            // END stops before the second MESSAGE
  EXPECT_TRUE(os_sys_err_log().empty());
}

TEST_F(Pc, GotoForwardAndBackwardOverLabels) {
  // 100 runs, jumps forward over 300 to the label, 500 runs, then a loop
  // back is taken once (the mask decides), 800 ends.
  define(proc6(
      "GT", {line("", "MESSAGE", "A"), line("", "GOTO", "FWD"), line("", "MESSAGE", "B"), line("", "LABEL", "FWD"),
             line("", "MESSAGE", "C"), line("", "WARNING", "M"), line("T", "GOTO", "FWD"), line("", "MESSAGE", "D")}));
  g_mask = 0x2FF;  // level 1 false: no loop
  uint32_t acc = 0;
  EXPECT_EQ(run("GT", 6, 2, 1, &acc), 1);
  EXPECT_EQ(acc, ((100u * 31) + 500) * 31 + 800);
}

// Runs of statements with every T/F shape of levels 1-3, comments, 'C'
// statements and labels, run from every mask of those levels: exactly the
// statements whose column the mask satisfies run.
TEST_F(Pc, BranchesRunExactlyTheSatisfiedStatements) {
  std::mt19937 rng(1234);
  const char* shapes[] = {"", "T", "F", "TT", "TF", "FT", "FF", "TTT", "TTF", "TFT", "TFF", "FTT", "FTF", "FFT", "FFF"};
  struct Prog {
    std::string name;
    std::vector<std::pair<std::string, uint32_t>> logs;  // column, sequence
  };
  std::vector<Prog> progs;
  std::string text;
  for (int p = 0; p < 40; ++p) {
    Prog g;
    g.name = "BR" + std::to_string(p);
    text += "process 6 " + g.name + "\nstatements 1\n" + line("", "WARNING", "M") + "\n";
    uint32_t seq = 100;
    int n = 4 + int(rng() % 12);
    std::string prev = "";
    for (int i = 0; i < n; ++i) {
      seq += 100;
      int what = int(rng() % 10);
      std::string col = rng() % 3 == 0 ? prev : shapes[rng() % 15];
      if (what == 0) {
        text += line("", "*", "a comment") + "\n";
      } else if (what == 1) {
        text += line(("C" + col).c_str(), "MESSAGE", "skipped") + "\n";
      } else if (what == 2) {
        text += line("", "LABEL", "L" + std::to_string(i)) + "\n";
      } else {
        text += line(col.c_str(), "MESSAGE", "m") + "\n";
        g.logs.push_back({col, seq});
        prev = col;
      }
    }
    progs.push_back(g);
  }
  define(text);
  int checked = 0;
  for (const Prog& g : progs) {
    for (int l1 = 1; l1 <= 3; ++l1)
      for (int l2 = 1; l2 <= 3; ++l2)
        for (int l3 = 1; l3 <= 3; ++l3) {
          g_mask = uint32_t(l1 << 8 | l2 << 6 | l3 << 4 | 0xF);
          uint32_t want = 0;
          for (const auto& [col, seq] : g.logs) {
            char c5[6] = "     ";
            std::memcpy(c5, col.data(), col.size());
            uint32_t cond = sc_tf_no(c5, nullptr);
            if ((g_mask | cond) == cond) want = want * 31 + seq;
          }
          uint32_t acc = 0;
          ASSERT_EQ(run(g.name.c_str(), 6, 2, 1, &acc), 1) << g.name;
          ASSERT_EQ(acc, want) << g.name << " mask " << tf_msk_to_str(g_mask);
          ++checked;
        }
  }
  EXPECT_EQ(checked, 40 * 27);
}

TEST_F(Pc, CommentOnlyEventPointGetsEndAndToc) {
  define(proc6("CO", {line("", "*", "nothing"), line("", "**", "at all")}));
  Pcb* p = e.pcb("CO", 2, 6);
  ASSERT_EQ(pl_get(p, 0), 1);
  EmHeader* em = p->module.get();
  EXPECT_EQ(em->toc_count, 1u);
  EXPECT_EQ(em->trap_count, 2u);
  EXPECT_NE(em->proc_eps[0] & 0xFFFF, 0xFFFFu);
  for (int i = 1; i < kEmProcEps; ++i) EXPECT_EQ(em->proc_eps[i] & 0xFFFF, 0xFFFFu);
  uint8_t* code = ib_code_to_pc(em, rec::view<CodeRef>(&em->proc_eps[0]));
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(rec::view<IbInst>(code).op, 10u);   // RLOC_END
  pl_release(p);
  EXPECT_EQ(run("CO"), 1);
}

TEST_F(Pc, CompileErrorsAreRecordsWithStatementText) {
  ASSERT_GE(fx::write("APPL", nullptr, nullptr, {fx::appl("0LA", "00")}), 0);
  std::string s = "process 6 ER\nstatements 1\n";
  s += set_line("ABC", "NOSUCH", "", "ABC", "W2") + "\n";     // 102080
  s += set_line("ABC", "W1", "004", "ABC", "W2") + "\n";      // 102720
  s += set_line("ABC", "W1", "C", "ABC", "W2") + "\n";       // 102730 (alpha occurrence field)
  s += set_line("ZZZ", "W1", "", "ABC", "W2") + "\n";         // 101910
  s += line("", "GOTO", "NOWHERE") + "\n";                    // 100940
  s += line("", "LABEL", "TWICE") + "\n" + line("", "LABEL", "TWICE") + "\n";  // 101410
  s += line("", "CALC", "A  = 1 +") + "\n";                   // syntax: 101060
  s += "process 5 QY\nstatements 1\n" + line("", "SUBR", "ABC ORDER ENTRY                      RELATED      END? N  FAIL 2") + "\n";  // 100890
  define(s);
  // A constant as a target (no statement line holds one: the record is
  // changed after reading).
  {
    SeFileResult r;
    ASSERT_EQ(se_read_file("x", proc6("CT", {set_line("ABC", "W2", "", "ABC", "W1")}), nullptr, &r), 0);
    DStmt st = r.stmts[0];
    std::memset(st.ops.b + 4, ' ', 3);
    std::vector<std::string> e2;
    ASSERT_EQ(se_store_dict("ABC", "00", nullptr, {st}, &e2), 1);
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {pltest::proc_rec("CT", 6, "0")}), 1);
  }
  EXPECT_EQ(run("ER"), -200140);
  auto errs = errors("ER");
  std::multiset<uint32_t> got;
  for (size_t i = 0; i < errs.size(); ++i) {
    EXPECT_EQ(errs[i].seq, i + 1);
    EXPECT_EQ(errs[i].kind, 7u);
    EXPECT_EQ(errs[i].src_len, 152u);
    EXPECT_NE(errs[i].stmt_text.str().find_first_not_of(' '), std::string::npos);
    got.insert(errs[i].msg);
  }
  for (uint32_t m : {102080u, 102720u, 102730u, 101910u, 100940u, 101410u, 101060u}) EXPECT_EQ(got.count(m), 1u) << m;
  EXPECT_EQ(errs.size(), 7u);
  EXPECT_EQ(run("QY", 5), -200140);
  auto q = errors("QY", 5);
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].msg, 100890u);
  EXPECT_EQ(run("CT"), -200140);
  auto c = errors("CT");
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].msg, 102360u);
  EXPECT_TRUE(os_sys_err_log().empty());
}

// Parts compiled by later steps (here a child invocation) refuse the
// process with one error of that record's kind instead of a module that
// would run without them.
// A selection line of a process that is no Query and names no child
// constrains nothing and fails no compile.
TEST_F(Pc, SelectionLineOfNoChildIsPassedOver) {
  pc_src_forget(true);
  define(proc6("CH", {line("", "END PROC")}));
  fx::Rec c = fx::rec("SELECT", {{"proc_type", "6"}, {"proc_name", "CH"}, {"line", "1"}});
  ASSERT_EQ(fx::write("SELECT", "ABC", "00", {c}), 1);
  EXPECT_EQ(run("CH"), 2);
  EXPECT_TRUE(errors("CH").empty());
}

TEST_F(Pc, SecondFailedCompileListsOnlyItsOwnErrors) {
  define(proc6("F2", {line("", "GOTO", "X"), line("", "GOTO", "Y")}) + proc6("OK", {line("", "CALC", "A  = 1 +")}));
  EXPECT_EQ(run("OK"), -200140);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(run("F2"), -200140);
    auto errs = errors("F2");
    ASSERT_EQ(errs.size(), 2u);
    EXPECT_EQ(errs[0].seq, 1u);
    EXPECT_EQ(errs[1].seq, 2u);
  }
  EXPECT_EQ(errors("OK").size(), 1u);   // another process's records stay
  EXPECT_TRUE(os_sys_err_log().empty());
}

TEST_F(Pc, ShowFlagClearShowsNothing) {
  define(proc6("SH", {line("", "GOTO", "X")}));
  testing::internal::CaptureStderr();
  Pcb* p = e.pcb("SH", 2, 6);
  EXPECT_EQ(pl_get(p, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(pl_get(p, 1), 0);
  std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_NE(shown.find("100940"), std::string::npos) << shown;
  EXPECT_NE(shown.find("GOTO"), std::string::npos) << shown;
}

TEST_F(Pc, FailedCompilesLeaveNothingBehind) {
  define(proc6("LK", {set_line("ABC", "W1", "", "ABC", "W2"), line("", "GOTO", "X")}) +
         proc6("LS", {line("", "END PROC")}));
  // Every source the compile looks for exists (the file manager keeps a
  // little arena for each open of a missing file).
  ASSERT_GE(fx::write("CHILD", "ABC", "00", {}), 0);
  ASSERT_GE(fx::write("SELECT", "ABC", "00", {}), 0);
  ASSERT_GE(fx::write("FILE", "0LA", "00", {}), 0);
  // PARAM, written at the start, stays open from one compile to the next
  // only once it is over two seconds old: made older now, its handle is kept
  // from the first compile, not from whichever compile a slow run reaches
  // then.
  FmFdb prm;
  INIT_DPARM_FDB(&prm, "ABC", "00");
  prm.options = FM_OPT_NO_SYSDIR;
  std::string prm_path;
  ASSERT_TRUE(fm_os_path(&prm, &prm_path));
  const timespec old[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, prm_path.c_str(), old, 0), 0) << prm_path;
  // Pools reach their high-water marks (the dictionary sources stay open
  // from one compile to the next, so the compile's own pools settle later).
  for (int i = 0; i < 60; ++i) ASSERT_EQ(run("LK"), -200140);
  pltest::settle_handles();
  size_t files = fm_open_count();
  size_t used = arena::in_use();
  for (int i = 0; i < 200; ++i) ASSERT_EQ(run("LK"), -200140);
  EXPECT_EQ(fm_open_count(), files);
  EXPECT_EQ(arena::in_use(), used);
  // The same for compiles that succeed.
  for (int i = 0; i < 20; ++i) { ASSERT_EQ(run("LS"), 2); pl_flush(); }
  used = arena::in_use();
  for (int i = 0; i < 100; ++i) { ASSERT_EQ(run("LS"), 2); pl_flush(); }
  EXPECT_EQ(arena::in_use(), used);
}

// A module compiled into the emptied sub-files of freed ones holds the same
// records, with the same record ids, as one compiled into new files, also
// after those files held another process's larger module.
TEST_F(Pc, ModulesInReusedSubFilesAreTheSameRecordForRecord) {
  define(proc6("RA", {set_line("ABC", "W1", "002", "ABC", "W2"), line("", "MESSAGE", "A"), line("", "GOTO", "L"),
                      line("", "LABEL", "L"), line("", "END PROC")}) +
         proc6("RB", {set_line("ABC", "W2", "", "ABC", "W1"), line("", "MESSAGE", "B"), line("", "MESSAGE", "C"),
                      line("", "END")}));
  auto image = [&](const char* name) {
    pl_flush();
    Pcb* p = e.pcb(name, 2, 6);
    EXPECT_EQ(pl_get(p, 0), 1) << name;
    EmHeader* em = p->module.get();
    std::vector<std::string> out;
    PcBuf<uint8_t> buf(4096);
    auto dump = [&](const char* label, FmArb* h) {
      out.push_back(label);
      if (!h) return;
      PROTO_FULL(h, 0, buf.bytes());
      h->op = FM_OP_FIRST;
      EXPECT_TRUE(fm_start(h)) << label;
      h->op = 0;
      h->rec_len = uint16_t(buf.size());
      while (fm_rdnxt(h))
        out.push_back(std::to_string(h->rid) + ":" + std::string(reinterpret_cast<char*>(buf.bytes()), h->len_read));
      h->rec_len = 0;
    };
    for (const EmSub& s : em_subs) dump(s.label, (em->*s.slot).get());
    dump("TOC", em->toc.get());
    dump("TRAP", em->trap.get());
    pl_release(p);
    return out;
  };
  pl_spares_release();
  auto fresh = image("RA");
  EXPECT_GT(fresh.size(), size_t(kEmSubs) + 4);
  EXPECT_EQ(image("RA"), fresh);
  (void)image("RB");
  EXPECT_EQ(image("RA"), fresh);
}

// The dictionary sources stay open from one compile to the next; statements
// added between two compiles are compiled by the second, whether the
// directory changed within the last two seconds (its time set back as a
// change within one clock tick leaves it) or long before.
TEST_F(Pc, KeptSourcesSeeStatementsAddedBetweenCompiles) {
  ASSERT_EQ(fx::write("PROCESS", "ABC", "00",
                      {pltest::proc_rec("KS", 6, "0"), pltest::proc_rec("KT", 6, "0"), pltest::proc_rec("KU", 6, "0")}),
            3);
  auto add = [](const std::string& text) {
    SeFileResult r;
    ASSERT_EQ(se_read_file("t.stmt", text, nullptr, &r), 0);
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
  };
  add(proc6("KS", {line("", "END PROC")}));
  FmFdb f;
  INIT_DPARM_FDB(&f, "ABC", "00");
  f.options = FM_OPT_NO_SYSDIR;
  std::string path;
  ASSERT_TRUE(fm_os_path(&f, &path));
  std::string dir = path.substr(0, path.rfind('/'));
  auto dir_time = [&] {
    struct stat st{};
    EXPECT_EQ(::stat(dir.c_str(), &st), 0);
    return st.st_mtim;
  };
  auto set_dir_time = [&](timespec t) {
    timespec ts[2] = {t, t};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.c_str(), ts, 0), 0);
  };
  auto compile = [&](const char* name, int want) {
    pl_flush();
    EXPECT_EQ(run(name), want) << name;
  };
  compile("KS", 2);
  timespec recent = dir_time();
  add(proc6("KT", {line("", "LOGOUT", "SYSTEM? Y")}));
  set_dir_time(recent);
  compile("KT", 25);
  set_dir_time({std::time(nullptr) - 3600, 0});
  compile("KT", 25);
  compile("KS", 2);   // taken without looking the file up
  add(proc6("KU", {line("", "LOGOUT", "SYSTEM? Y")}));
  compile("KU", 25);
}

// A dictionary file put in its place by another engine (made anew and
// linked in under the name) is compiled from, never the file a kept handle
// still has open; so is one of a directory put back from a copy that keeps
// the directory's times (its time the one the kept sources last saw).
TEST_F(Pc, KeptSourcesSeeDictionaryFilesPutInTheirPlace) {
  define(proc6("RE", {set_line("ABC", "W1", "002", "ABC", "W2"), line("", "END PROC")}));
  auto elem_path = [&](const char* ver) {
    FmFdb f;
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(e.pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(e.pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
    INIT_DELEM_FDB(&f, kdb, sdb, "ABC", ver);
    f.options = FM_OPT_NO_SYSDIR;
    std::string path;
    EXPECT_TRUE(fm_os_path(&f, &path));
    return path;
  };
  // ELEMENT files of W1 with 1 and with 3 occurrences, made under other versions.
  fx::Rec one = w1;
  rec::view<DElem>(one.data()).occurs = uint16_t(1);
  fx::Rec w2 = fx::rec("ELEMENT", {{"area", "3000001"}, {"work", "1"}, {"name", "W2"}, {"kind", "1"},
                                    {"ident_stamp", "2026-01-03T00:00:00"}, {"number", "901"}, {"length", "10"},
                                    {"occurs", "1"}, {"type", "1"}, {"key_kind", "255"}});
  ASSERT_EQ(fx::write("ELEMENT", "ABC", "01", {one, w2}), 2);
  ASSERT_EQ(fx::write("ELEMENT", "ABC", "02", {w1, w2}), 2);
  const std::string path = elem_path("00"), dir = path.substr(0, path.rfind('/'));
  auto move_in = [&](const std::string& from, const std::string& to) {
    for (const std::string& p : {from, brf_index_path(from), brf_journal_path(from)}) {
      std::string q = p == from ? to : p == brf_index_path(from) ? brf_index_path(to) : brf_journal_path(to);
      if (::access(p.c_str(), F_OK) == 0) {
        ASSERT_EQ(::rename(p.c_str(), q.c_str()), 0) << p;
      }
    }
  };
  const timespec old{std::time(nullptr) - 3600, 0};
  auto set_dir_time = [&](const std::string& d) {
    timespec ts[2] = {old, old};
    ASSERT_EQ(::utimensat(AT_FDCWD, d.c_str(), ts, 0), 0);
  };
  auto compile = [&] {
    pl_flush();
    Pcb* p = e.pcb("RE", 2, 6);
    int code = pl_get(p, 0);
    if (code) pl_release(p);
    std::vector<uint32_t> msgs;
    for (const DCmplErr& r : errors("RE")) msgs.push_back(r.msg);
    return std::make_pair(code, msgs);
  };
  using Got = std::pair<int, std::vector<uint32_t>>;
  set_dir_time(dir);
  EXPECT_EQ(compile(), Got(1, {}));
  EXPECT_EQ(compile(), Got(1, {}));   // the sources taken on the directory's word
  move_in(elem_path("01"), path);
  EXPECT_EQ(compile(), Got(0, {102720}));
  // The directory put back as a copy with its times: W1 of 3 occurrences.
  set_dir_time(dir);
  EXPECT_EQ(compile(), Got(0, {102720}));
  EXPECT_EQ(compile(), Got(0, {102720}));
  std::filesystem::copy(dir, dir + ".new");
  move_in(elem_path("02"), dir + ".new/" + path.substr(path.rfind('/') + 1));
  set_dir_time(dir + ".new");
  ASSERT_EQ(::rename(dir.c_str(), (dir + ".old").c_str()), 0);
  ASSERT_EQ(::rename((dir + ".new").c_str(), dir.c_str()), 0);
  EXPECT_EQ(compile(), Got(1, {}));
}

// The other engine of the test below: over the parent's data directory, it
// opens ELEMENT of "ABC" 00 exclusively, scratches it and makes it anew with
// W1 of one occurrence, and writes the statuses to a file.
TEST(PcChild, ScratchesAndMakesAnewAnElementFile) {
  const char* dir = getenv("QUVO_PC_CHILD_DIR");
  const char* out = getenv("QUVO_PC_CHILD_OUT");
  if (!dir || !out) GTEST_SKIP() << "run by Pc.AnotherEngineScratchesAndMakesAnewAKeptSource";
  Engine e;
  e.dir = dir;
  e.start(false);
  auto [pool, kdb, sdb] = pltest::cat_areas();
  FmFdb f;
  INIT_DELEM_FDB(&f, kdb, sdb, "ABC", "00");
  uint32_t excl = FM_OPEN(&f, com.depth, 0, 1, 0) ? 0 : uint32_t(f.status);
  if (!excl) FM_CLOSE(f.handle.get(), 0);
  INIT_DELEM_FDB(&f, kdb, sdb, "ABC", "00");
  uint32_t scratch = FM_SCRATCH(&f, 0) ? 0 : uint32_t(f.status);
  auto el = [](const char* name, const char* occurs, const char* number) {
    return fx::rec("ELEMENT", {{"area", "3000001"}, {"work", "1"}, {"name", name}, {"kind", "1"},
                               {"ident_stamp", std::string("2026-01-05T00:00:") + (number + 1)},
                               {"number", number}, {"length", "10"},
                               {"occurs", occurs}, {"type", "1"}, {"key_kind", "255"}});
  };
  int written = fx::write("ELEMENT", "ABC", "00", {el("W1", "1", "801"), el("W2", "1", "802")});
  std::ofstream(out) << excl << " " << scratch << " " << written << "\n";
  mm_destroy_pool(pool);
  e.stop(false);
}

// Another engine may scratch a dictionary file this engine compiled from
// and keeps open, and make it anew; the next compile here reads the new
// file. An exclusive open of the kept file is still refused.
TEST_F(Pc, AnotherEngineScratchesAndMakesAnewAKeptSource) {
  define(proc6("RS", {set_line("ABC", "W1", "002", "ABC", "W2"), line("", "END PROC")}));
  auto compile = [&] {
    pl_flush();
    Pcb* p = e.pcb("RS", 2, 6);
    int code = pl_get(p, 0);
    if (code) pl_release(p);
    std::vector<uint32_t> msgs;
    for (const DCmplErr& r : errors("RS")) msgs.push_back(r.msg);
    return std::make_pair(code, msgs);
  };
  using Got = std::pair<int, std::vector<uint32_t>>;
  EXPECT_EQ(compile(), Got(1, {}));
  EXPECT_EQ(compile(), Got(1, {}));
  std::string out = e.dir + "/child.out";
  ASSERT_EQ(run_child_test("PcChild.ScratchesAndMakesAnewAnElementFile", {{"QUVO_PC_CHILD_DIR", e.dir}, {"QUVO_PC_CHILD_OUT", out}}), 0);
  std::string got;
  std::getline(std::ifstream(out), got);
  EXPECT_EQ(got, std::to_string(FM_ST_BUSY) + " 0 2");
  EXPECT_EQ(compile(), Got(0, {102720}));
}

TEST_F(Pc, SavedModuleIsLoadedAndStaleOneRecompiled) {
  define(proc6("SV", {set_line("ABC", "W1", "002", "ABC", "W2"), line("", "END PROC")}), "1");
  uint32_t n0 = pc_compile_count();
  EXPECT_EQ(run_pi("SV"), 2);
  EXPECT_EQ(pc_compile_count(), n0 + 1);
  pl_flush();
  EXPECT_EQ(run_pi("SV"), 2);
  EXPECT_EQ(pc_compile_count(), n0 + 1);   // from the saved file
  // A fresh engine on the same directory runs the saved module.
  e.stop(false);
  ii_families_register();
  e.start(false);
  pltest::test_op(kOpMask, 8, h_mask);
  ASSERT_TRUE(pltest::compilers_on());
  n0 = pc_compile_count();
  EXPECT_EQ(run_pi("SV"), 2);
  EXPECT_EQ(pc_compile_count(), n0);
  // A changed definition stamp recompiles.
  ASSERT_TRUE(pltest::rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DPROC_FDB(f, k, s, "ABC", "00"); },
                              pltest::proc_rec("SV", 6, "1", 50, "2026-02-02T00:00:00")));
  pl_flush();
  EXPECT_EQ(run_pi("SV"), 2);
  EXPECT_EQ(pc_compile_count(), n0 + 1);
  pl_flush();
  EXPECT_EQ(run_pi("SV"), 2);
  EXPECT_EQ(pc_compile_count(), n0 + 1);   // saved again by that compile
  // A changed stamp of a work field it uses recompiles too.
  fx::Rec changed = w1;
  std::memset(rec::view<DElem>(changed.data()).stamp2.b, 0x42, 8);
  ASSERT_TRUE(pltest::rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DELEM_FDB(f, k, s, "ABC", "00"); }, changed));
  // (the dictionary compile marks its application changed)
  fx::Rec ap = fx::appl("ABC", "00");
  std::memset(rec::view<DAppl>(ap.data()).stamp.b, 0x17, 8);
  ASSERT_TRUE(pltest::rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DAP_FDB(f, k, s); }, ap));
  pi_getters_reset();
  pl_flush();
  EXPECT_EQ(run_pi("SV"), 2);
  EXPECT_EQ(pc_compile_count(), n0 + 2);
}

// The module's header takes the definition's security codes, default
// flags and mode and its other marks, each from its own place.
TEST_F(Pc, TheModuleHeaderTakesItsDefinition) {
  define(proc6("HD", {line("", "END PROC")}));
  fx::Rec r = pltest::proc_rec("HD", 6, "0");
  auto& d = rec::view<DProc>(r.data());
  d.secr[0].set("0012");
  d.secr[1].set("0034");
  d.flag106[0].set("0");
  d.flag106[1].set("0");
  d.flag106[2].set("1");
  d.default_mode = 3;
  d.auto_readnext.set("0");
  d.exact_key.set("1");
  d.name368.set("ABCDWXYZ");
  d.flag380[0].set("0");
  d.flag380[1].set("1");
  ASSERT_TRUE(pltest::rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DPROC_FDB(f, k, s, "ABC", "00"); }, r));
  Pcb* p = e.pcb("HD", 2, 6);
  ASSERT_EQ(pl_get(p, 0), 1);
  const EmHeader* em = p->module.get();
  EXPECT_EQ(em->exec_secr.get(), 12);
  EXPECT_EQ(em->secr2.get(), 34);
  EXPECT_EQ(std::vector<int>(em->flags106.b, em->flags106.b + 3), (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(em->dflt_mode, 3);
  EXPECT_EQ(em->dflt_auto_rdnxt[0], '0');
  EXPECT_EQ(em->dflt_exact_key[0], '1');
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(em->def368.b), 4), "ABCD");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(em->def372.b), 4), "WXYZ");
  EXPECT_EQ(std::vector<int>(em->flags380.b, em->flags380.b + 2), (std::vector<int>{0, 1}));
  EXPECT_EQ(em->def31, 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(em->title.b), 60), "T HD" + std::string(56, ' '));
  pl_release(p);
  Engine::free_pcb(p);
}

TEST_F(Pc, ReferenceEdgeCases) {
  // W3: a work field of exactly two occurrences (its element's offset, a
  // file field's, is no place in a work area).
  fx::Rec w3 = fx::rec("ELEMENT", {{"area", "3000005"}, {"work", "1"}, {"name", "W3"}, {"kind", "1"},
                                   {"ident_stamp", "2026-01-03T00:00:00"}, {"number", "902"}, {"length", "5"},
                                   {"offset", "7"}, {"occurs", "2"}, {"type", "1"}, {"key_kind", "255"},
                                   {"initial", "FIRST"}});
  fx::Rec wz = fx::rec("ELEMENT", {{"area", "0"}, {"work", "1"}, {"name", "WZ"}, {"kind", "1"},
                                   {"ident_stamp", "2026-01-03T00:00:01"}, {"number", "903"}, {"length", "5"},
                                   {"occurs", "1"}, {"type", "1"}, {"key_kind", "255"}});
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00", {w3, wz}), 0);
  // Through a compile context of their own.
  compile_new(
      "RF",
      [&](PcCtx& ctx, EmHeader* em) {
        CElem a, b, c;
        ASSERT_EQ(pc_fld("ABC", "W1", 0, &a, &ctx), 1);
        uint32_t areas = em->n_areas;
        ASSERT_EQ(pc_fld("ABC", "W1", 1, &b, &ctx), 1);
        EXPECT_EQ(a.ira, b.ira);        // occurrence 0 is occurrence 1
        EXPECT_EQ(em->n_areas, areas);  // no new LF record
        // The array (3 x 10 bytes) first; occurrence 1 lies at its
        // offset 0 and so shares its entry.
        EXPECT_EQ(areas, 1u);
        ASSERT_EQ(pc_fld("ABC", "W1", 3, &c, &ctx), 1);
        EXPECT_NE(c.ira, a.ira);
        EXPECT_EQ(pc_fld("ABC", "W1", 4, &c, &ctx), 0);
        EXPECT_EQ(em->status, kPcOccHigh);
        EXPECT_EQ(pc_fld("ABC", "NONE", 1, &c, &ctx), 0);
        EXPECT_EQ(em->status, kPcNoField);
        // An application without an APPL record: only a system one.
        EXPECT_EQ(pc_ap("QQQ", &ctx), nullptr);
        EXPECT_EQ(em->status, kPcNoApp);
        EXPECT_NE(pc_ap("0QQ", &ctx), nullptr);
        // Asked again (its CAP is there now, marked as having none): still
        // none; nor is one that differs from a known one in its last letter.
        for (const char* none : {"QQQ", "ABD"}) {
          em->status = 0;
          EXPECT_EQ(pc_ap(none, &ctx), nullptr) << none;
          EXPECT_EQ(em->status, kPcNoApp) << none;
        }
        // Occurrence 2 of W3 at 5 in its own area of 10; the reference's
        // offset is its sub-area's; each occurrence's reference the field's
        // null-value constant.
        CElem w3_1;
        ASSERT_EQ(pc_fld("ABC", "W3", 1, &w3_1, &ctx), 1);
        ASSERT_EQ(pc_fld("ABC", "W3", 2, &c, &ctx), 1);
        EXPECT_EQ(c.field_offset, 0u);
        EXPECT_EQ(c.reference, w3_1.reference);
        // A work field without an area number is refused.
        {
          SysErrCapture cap(SysErrAnswer::Continue);
          EXPECT_EQ(pc_fld("ABC", "WZ", 1, &c, &ctx), 0);
          EXPECT_EQ(cap.count(), 1u);
          os_sys_err_log_clear();
        }
        // Area number 0 is none; a kind-5 area is 16 bytes, a kind-6 one 28.
        {
          SysErrCapture cap(SysErrAnswer::Continue);
          EXPECT_EQ(pc_get_ira(&ctx, "ABC", 5000000, 5, 0), 0u);
          EXPECT_EQ(cap.count(), 1u);
          os_sys_err_log_clear();
        }
        EXPECT_NE(pc_get_ira(&ctx, "ABC", 5000003, 5, 0), 0u);
        EXPECT_NE(pc_get_ira(&ctx, "ABC", 6000003, 6, 0), 0u);
      },
      [](EmHeader* em) {
        // The area table holds the LF records in key order.
        auto* t = reinterpret_cast<EmAreaEntry*>(em->area_table.get());
        EXPECT_EQ(t[0].size, 0u);
        EXPECT_EQ(t[1].size, 30u);
        EXPECT_EQ(t[2].size, 10u);
        EXPECT_EQ(t[2].sub, 20u);
        const EmAreaEntry* w3 = area_of(em, 3, 5, 0, 0);
        ASSERT_NE(w3, nullptr);
        EXPECT_EQ(w3->size, 10u);
        const EmAreaEntry* w3_2 = area_of(em, 3, 5, 0, 5);
        ASSERT_NE(w3_2, nullptr);
        EXPECT_EQ(w3_2->size, 5u);
        EXPECT_EQ(area_of(em, 3, 5, 0, 12), nullptr);
        EXPECT_EQ(area_of(em, 5, 0, 5, 0), nullptr);
        const EmAreaEntry* k5 = area_of(em, 5, 3, 5, 0);
        const EmAreaEntry* k6 = area_of(em, 6, 3, 6, 0);
        ASSERT_TRUE(k5 && k6);
        EXPECT_EQ(k5->size, 16u);
        EXPECT_EQ(k6->size, 28u);
      });
  EXPECT_EQ(pc_shr(2), 32);
  EXPECT_EQ(pc_non_shr(0, 2), 0);
  EXPECT_EQ(pc_non_shr(3, 1), 66);
  EXPECT_EQ(pc_ipc_cat(2, 3), 8);
}

// The CAP keeps, per area class, the highest area number the module uses
// (the shared areas are sized by it), whatever the order of the references;
// a control area is 44 bytes; a sub-area reaches to its area's end, and its
// kind's area at offset 0 (the one a run allocates, the sub-areas lying in
// it) is the whole area even when the sub-area is named first.
TEST_F(Pc, AreasOfEveryClassAndSubAreas) {
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00",
                      {fx::rec("ELEMENT", {{"area", "12000003"}, {"work", "1"}, {"name", "W12"}, {"kind", "1"},
                                           {"ident_stamp", "2026-05-05T00:00:00"}, {"number", "901"},
                                           {"length", "2"}, {"occurs", "1"}, {"type", "1"}, {"key_kind", "255"}})}),
            0);
  ASSERT_GE(fx::write("FILE", "ABC", "00",
                      {fx::rec("FILE", {{"name", "CTL"}, {"rec_len", "8"}, {"area", "1000012"}, {"area2", "2000009"}})}),
            0);
  uint32_t ctl = 0, sub = 0;
  compile_new(
      "HA",
      [&](PcCtx& ctx, EmHeader*) {
        CElem c;
        ASSERT_EQ(pc_fld("ABC", "WN", 0, &c, &ctx), 1);   // 3000004
        ASSERT_EQ(pc_fld("ABC", "W1", 0, &c, &ctx), 1);   // 3000001
        ASSERT_EQ(pc_fld("ABC", "W12", 0, &c, &ctx), 1);
        EmCfi cfi;
        ASSERT_EQ(pc_fi(pc_ap("ABC", &ctx), "CTL", &cfi, &ctx), 1);
        ctl = cfi.ctl_ira;
        sub = pc_get_ira(&ctx, "ABC", 1000012, 4, 3);
        const EmCap* cap = pc_ap("ABC", &ctx);
        ASSERT_NE(cap, nullptr);
        std::vector<uint32_t> hi(cap->hi_area, cap->hi_area + 13);
        EXPECT_EQ(hi, (std::vector<uint32_t>{0, 12, 9, 4, 0, 0, 0, 0, 0, 0, 0, 0, 3}));
      },
      [&](EmHeader* em) {
        // (the table holds the LF records in key order)
        auto* t = reinterpret_cast<EmAreaEntry*>(em->area_table.get());
        auto size_of = [&](int cls, uint32_t number, int kind, uint32_t at) -> int64_t {
          for (uint32_t i = 1; i <= em->n_areas; ++i)
            if (t[i].aclass == cls && t[i].number == number && t[i].kind == kind && t[i].sub == at) return t[i].size;
          return -1;
        };
        EXPECT_NE(ctl, 0u);
        EXPECT_EQ(size_of(2, 9, 1, 0), 44);
        EXPECT_NE(sub, 0u);
        EXPECT_EQ(size_of(1, 12, 4, 3), 5);
        EXPECT_EQ(size_of(1, 12, 4, 0), 8);   // and its area of that kind, whole
      });
}

// A file's descriptor: the record offsets of its two security fields (FILE
// usage slots 8 and 9; none -1) and its share codes (FILE bytes 97, 96,
// 95); its record area takes the share codes, and so does a sub-area of the
// record's kind.
TEST_F(Pc, AFileTakesItsSecurityFieldsAndShareCodes) {
  auto el = [](const char* name, int number, int off) {
    return fx::rec("ELEMENT", {{"area", "1000013"}, {"work", "0"}, {"name", name}, {"kind", "1"}, {"file", "SEC"},
                               {"number", std::to_string(number)}, {"offset", std::to_string(off)},
                               {"length", "4"}, {"occurs", "1"}, {"type", "1"}, {"key_kind", "255"},
                               {"ident_stamp", "2026-06-06T00:00:0" + std::to_string(number)}});
  };
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00", {el("SEC A", 1, 6), el("SEC B", 2, 10)}), 0);
  fx::Rec sec = fx::rec("FILE", {{"name", "SEC"}, {"rec_len", "14"}, {"area", "1000013"}});
  fx::Rec open = fx::rec("FILE", {{"name", "OPEN"}, {"rec_len", "4"}, {"area", "1000014"}, {"area2", "2000014"}});
  auto& d = rec::view<DFile>(sec.data());
  d.usage[8] = 2;
  d.usage[9] = 1;
  d.share[0] = 1;
  d.share[1] = 2;
  d.b95 = 3;
  ASSERT_GE(fx::write("FILE", "ABC", "00", {sec, open}), 0);
  compile_new(
      "SC",
      [&](PcCtx& ctx, EmHeader*) {
        EmCfi c, o;
        ASSERT_EQ(pc_fi(pc_ap("ABC", &ctx), "SEC", &c, &ctx), 1);
        EXPECT_EQ(c.elem1_off, 10);
        EXPECT_EQ(c.elem2_off, 6);
        EXPECT_EQ(std::vector<int>(c.share.b, c.share.b + 3), (std::vector<int>{2, 1, 3}));
        ASSERT_EQ(pc_fi(pc_ap("ABC", &ctx), "OPEN", &o, &ctx), 1);
        EXPECT_EQ(o.elem1_off, -1);
        EXPECT_EQ(o.elem2_off, -1);
        EXPECT_NE(pc_get_ira(&ctx, "ABC", 1000013, 0, 4), 0u);
      },
      [](EmHeader* em) {
        for (uint32_t at : {0u, 4u}) {
          const EmAreaEntry* a = area_of(em, 1, 13, 0, at);
          ASSERT_NE(a, nullptr) << at;
          EXPECT_EQ(a->size, 14u - at);
          EXPECT_EQ(a->shr, pc_shr(2)) << at;
          EXPECT_EQ(a->non_shr, pc_non_shr(3, 1)) << at;
        }
      });
}

// A numeric work field's values are read whole, however much wider than the
// field's display their text is.
TEST_F(Pc, ANumericWorkFieldTakesItsValuesWhole) {
  compile_new("WV", [&](PcCtx& ctx, EmHeader* em) {
    CElem a;
    ASSERT_EQ(pc_fld("ABC", "WN", 0, &a, &ctx), 1);
    PcBuf<EmCfld> r;
    r->app.set("ABC");
    r->name.set("WN");
    FmArb* f = em->cfld.get();
    PROTO_FULL(f, 0, r.bytes());
    ASSERT_EQ(fm_read(f), 1);
    EXPECT_EQ(rec::view<rec::I32>(MADDR(em->cnst.get(), r->k40.get())).get(), 42);
    EXPECT_EQ(rec::view<rec::I32>(MADDR(em->cnst.get(), r->k42.get())).get(), 7);
  });
}

TEST_F(Pc, WorkFieldsSharingAnAreaSizeItByTheLongest) {
  // W2 (10 bytes) and W1 (3 x 10) share an area number: named W2 first, the
  // whole area still takes the 30 bytes of W1 and its occurrences.
  compile_new(
      "RG",
      [&](PcCtx& ctx, EmHeader*) {
        CElem a, c;
        ASSERT_EQ(pc_fld("ABC", "W2", 0, &a, &ctx), 1);
        ASSERT_EQ(pc_fld("ABC", "W1", 3, &c, &ctx), 1);
      },
      [](EmHeader* em) {
        auto* t = reinterpret_cast<EmAreaEntry*>(em->area_table.get());
        EXPECT_EQ(t[1].sub, 0u);
        EXPECT_EQ(t[1].size, 30u);
        EXPECT_EQ(t[2].sub, 20u);
      });
}

// Random STMT records through the compiler: no crash, every refusal a
// CMPL_ERR record.
TEST_F(Pc, FuzzRandomStatements) {
  std::mt19937 rng(77);
  std::vector<DStmt> all;
  for (int p = 0; p < 30; ++p) {
    for (int i = 0; i < 12; ++i) {
      DStmt s;
      uint8_t* b = reinterpret_cast<uint8_t*>(&s);
      for (size_t k = 0; k < sizeof s; ++k) b[k] = uint8_t(rng());
      s.proc_type = 6;
      char name[31];
      std::snprintf(name, sizeof name, "FZ%-28d", p);
      std::memcpy(s.proc_name.data(), name, 30);
      s.frame_class = 0;
      s.frame_no = 0;
      s.image_no = 0;
      s.child_disc = 0;
      s.child_no = 0;
      s.event_point = uint8_t(1 + rng() % 11);
      s.seq = uint32_t(100 * (i + 1));
      s.verb = uint16_t(rng() % 120);
      if (rng() % 2) s.verb = uint16_t(std::vector<int>{0, 1, 29, 32, 35, 37, 42, 43}[rng() % 8]);
      for (int k = 0; k < 5; ++k) s.tf[k] = "TF 10C"[rng() % 6];
      all.push_back(s);
    }
  }
  std::vector<std::string> errs;
  ASSERT_EQ(se_store_dict("ABC", "00", nullptr, all, &errs), int(all.size()));
  std::vector<fx::Rec> procs;
  for (int p = 0; p < 30; ++p) procs.push_back(pltest::proc_rec("FZ" + std::to_string(p), 6, "0"));
  ASSERT_EQ(fx::write("PROCESS", "ABC", "00", procs), 30);
  sc_set_cmpl_fn(45, old45);
  sc_set_cmpl_fn(83, old83);
  sc_set_cmpl_fn(69, old69);
  for (int p = 0; p < 30; ++p) {
    std::string n = "FZ" + std::to_string(p);
    Pcb* pcb = e.pcb(n.c_str(), 2, 6);
    int ok = pl_get(pcb, 0);
    auto recs = errors(n.c_str());
    if (ok) {
      EXPECT_TRUE(recs.empty()) << n;
      pl_release(pcb);
    } else {
      EXPECT_FALSE(recs.empty()) << n;
      EXPECT_EQ(pcb->invoc.completion, 200140);
    }
  }
  EXPECT_TRUE(os_sys_err_log().empty());
}

}  // namespace

// The field of key number 0 of a file, also when the file lists another key
// first; a numeric-token field names its token list in CTOK once, whether
// a reference or the scan of its file finds it first.
TEST_F(Pc, PrimaryKeyAndTokenLists) {
  auto fld = [](const char* name, const char* file, int number, int key_no, int type = 5, int len = 4, int off = 0,
                int field_no = 0) {
    auto r = fx::rec("ELEMENT", {{"area", "1000005"}, {"work", "0"}, {"name", name}, {"kind", "1"},
                                 {"file", file}, {"number", std::to_string(number)}, {"length", std::to_string(len)},
                                 {"offset", std::to_string(off)}, {"field_no", std::to_string(field_no)},
                                 {"occurs", "1"}, {"type", std::to_string(type)},
                                 {"key_kind", key_no < 0 ? "255" : "1"},
                                 {"key_no", std::to_string(key_no < 0 ? 0 : key_no)},
                                 {"ident_stamp", "2026-02-02T00:00:" + std::to_string(number)}});
    return r;
  };
  auto cust_no = fld("CUST NO", "CUST", 42, 0, 5, 4, 0, 1);
  rec::view<DElem>(cust_no.data()).label.set("FIND CUSTOMER");
  rec::view<DElem>(cust_no.data()).flag92 = '1';
  auto tok = fx::rec("ELEMENT", {{"area", "1000005"}, {"work", "0"}, {"name", "HUE"}, {"kind", "1"}, {"b94", "7"},
                                 {"file", "CUST"}, {"offset", "4"}, {"number", "77"}, {"length", "4"}, {"occurs", "1"}, {"type", "5"},
                                 {"key_kind", "255"}, {"token_mark", "1"}, {"domain", "COLORS"},
                                 {"ident_stamp", "2026-02-02T00:01:00"}});
  // Two more scanned token fields no reference names: a numeric one, and an
  // alpha one (whose list its item's conversion loads).
  auto scanned_tok = [](const char* name, int number, int type, const char* list) {
    return fx::rec("ELEMENT", {{"area", "1000005"}, {"work", "0"}, {"name", name}, {"kind", "1"}, {"b94", "7"},
                               {"file", "CUST"}, {"offset", "4"}, {"number", std::to_string(number)},
                               {"length", "4"}, {"occurs", "1"}, {"type", std::to_string(type)},
                               {"key_kind", "255"}, {"token_mark", "1"}, {"domain", list},
                               {"ident_stamp", "2026-02-02T00:02:" + std::to_string(number - 60)}});
  };
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00",
                      {fld("CUST NAME", "CUST", 41, 1, 1, 6, 8, 3), cust_no, tok, scanned_tok("SHADE", 78, 5, "SHADES"),
                       scanned_tok("TAG", 79, 1, "TAGS")}),
            0);
  auto fi = fx::rec("FILE", {{"name", "CUST"}, {"rec_len", "14"}, {"key_count", "2"}, {"key_elem[1]", "41"},
                             {"key_elem[2]", "42"}, {"area", "1000005"}, {"area2", "2000007"}});
  auto nokey = fx::rec("FILE", {{"name", "LOG"}, {"rec_len", "8"}, {"key_count", "1"}, {"key_elem[1]", "41"},
                                {"area", "1000006"}, {"area2", "2000008"}});
  // ODD lists a key element the dictionary does not hold before its key 0;
  // FREE has no keys (its field a key field with a scan process of its own).
  auto odd = fx::rec("FILE", {{"name", "ODD"}, {"rec_len", "4"}, {"key_count", "2"}, {"key_elem[1]", "9"},
                              {"key_elem[2]", "12"}, {"area", "1000009"}, {"area2", "2000012"}});
  auto free = fx::rec("FILE", {{"name", "FREE"}, {"rec_len", "4"}, {"area", "1000010"}, {"area2", "2000013"}});
  auto free_no = fld("FREE NO", "FREE", 13, 0);
  rec::view<DElem>(free_no.data()).label.set("FIND FREE");
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00", {fld("ODD NO", "ODD", 12, 0), free_no}), 0);
  ASSERT_GE(fx::write("FILE", "ABC", "00", {fi, nokey, odd, free}), 0);
  compile_new("PK", [&](PcCtx& ctx, EmHeader* em) {
    char name[22];
    ASSERT_EQ(pc_primary_key(&ctx, "ABC", "CUST", name), 1);
    EXPECT_EQ(std::string(name, 22), std::string("CUST NO") + std::string(15, ' '));
    ASSERT_EQ(pc_primary_key(&ctx, "ABC", "ODD", name), 1);
    EXPECT_EQ(std::string(name, 22), std::string("ODD NO") + std::string(16, ' '));
    EXPECT_EQ(pc_primary_key(&ctx, "ABC", "LOG", name), 0);
    EXPECT_EQ(em->status, kPcNoField);
    EXPECT_EQ(pc_primary_key(&ctx, "ABC", "NOFILE", name), 0);
    EXPECT_EQ(em->status, kPcNoFile);
    EXPECT_EQ(pc_primary_key(&ctx, "QQQ", "CUST", name), 0);
    EXPECT_EQ(em->status, kPcNoApp);
    CElem c;
    ASSERT_EQ(pc_fld("ABC", "HUE", 1, &c, &ctx), 1);
    ASSERT_EQ(pc_fld("ABC", "HUE", 1, &c, &ctx), 1);
    ASSERT_EQ(pc_fld("ABC", "W2", 1, &c, &ctx), 1);  // no token mark
    FmArb* f = em->ctok.get();
    ASSERT_NE(f, nullptr);
    int n = 0;
    each_rec<EmCtok>(f, [&](const EmCtok& r) {
      ++n;
      EXPECT_EQ(std::string(r.app.data(), 3), "ABC");
      EXPECT_EQ(r.name.str().substr(0, 6), "COLORS");
      EXPECT_EQ(r.token_handle, 0u);
    });
    EXPECT_EQ(n, 1);
    // One PK record per key segment, from the CFI's KDB and SDB: each key
    // its own segment (key 1 of the list is key number 1).
    // (FREE, keyless, none; asked after CUST's keys are written.)
    EmCfi cfi, keyless;
    ASSERT_EQ(pc_fi(pc_ap("ABC", &ctx), "CUST", &cfi, &ctx), 1);
    ASSERT_EQ(pc_fi(pc_ap("ABC", &ctx), "FREE", &keyless, &ctx), 1);
    os_sys_err_log_clear();
    bld_seg_fi(&ctx, em->pk.get(), keyless);
    EXPECT_TRUE(os_sys_err_log().empty());
    bld_seg_fi(&ctx, em->pk.get(), cfi);
    std::vector<std::vector<int>> keys;
    each_rec<EmPk>(em->pk.get(), [&](const EmPk& k) {
      keys.push_back({int(k.key_no), int(k.field), int(k.offset), int(k.length)});
    });
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::vector<int>>{{0, 1, 0, 4}, {1, 3, 8, 6}}));
    // SCAN: the two keys and the element with a scan code, in
    // sequence order; the PCF's key scan names into the header (a name
    // left by another file is gone).
    PcPcfCmpl& pr = pc_pcf_cmpl(em);
    pr.scan_name[5].set("STALE");
    pc_scan(pc_ap("ABC", &ctx), &ctx, cfi, 1);
    pc_scan(pc_ap("ABC", &ctx), &ctx, cfi, 1);  // done already: nothing
    std::vector<std::pair<uint32_t, int>> scans;
    each_rec<PcScan>(em->scan.get(), [&](const PcScan& sr) { scans.push_back({uint32_t(sr.seq), int(sr.key_no)}); });
    std::sort(scans.begin(), scans.end());
    EXPECT_EQ(scans, (std::vector<std::pair<uint32_t, int>>{{41, 1}, {42, 0}, {77, 255}, {78, 255}, {79, 255}}));
    std::vector<std::string> lists;
    each_rec<EmCtok>(em->ctok.get(), [&](const EmCtok& r) { lists.push_back(r.name.str().substr(0, 6)); });
    std::sort(lists.begin(), lists.end());
    EXPECT_EQ(lists, (std::vector<std::string>{"COLORS", "SHADES"}));
    // Another file's scan (a file the statements name) leaves them.
    pc_scan(pc_ap("ABC", &ctx), &ctx, keyless, 0);
    EXPECT_EQ(pr.scan_name[0].str().substr(0, 13), "FIND CUSTOMER");
    EXPECT_TRUE(pr.scan_name[5].blank());
    EXPECT_EQ(pr.scan_flag[0], 1);
    EXPECT_EQ(pr.scan_flag[1], 0);
  });
}

// A key on a group: one segment per occurrence of each simple member up to
// the group's end (an 8-byte date-time two of 4 bytes), each in the member's
// type, as the file was made; the descriptor gives their total length and the
// key's marks (primary; blank duplicates left out).
TEST_F(Pc, AGroupKeyHasASegmentPerMemberOccurrence) {
  auto el = [](const char* name, int kind, int number, int off, int len, int occurs, int type, int fno) {
    return fx::rec("ELEMENT", {{"area", "1000011"}, {"work", "0"}, {"name", name}, {"kind", std::to_string(kind)},
                               {"file", "GRP"}, {"number", std::to_string(number)}, {"offset", std::to_string(off)},
                               {"length", std::to_string(len)}, {"occurs", std::to_string(occurs)},
                               {"type", std::to_string(type)}, {"key_kind", "255"}, {"key_order", "+"},
                               {"field_no", std::to_string(fno)},
                               {"ident_stamp", "2026-04-04T00:00:1" + std::to_string(number)}});
  };
  fx::Rec g = el("G", 2, 1, 0, 18, 1, 1, 0);
  auto& gd = rec::view<DElem>(g.data());
  gd.domain.set("G END");
  gd.key_kind = 0;
  gd.key_no = 0;
  gd.key_dups = ' ';
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00",
                      {g, el("M1", 1, 2, 0, 3, 2, 1, 1), el("M2", 1, 3, 6, 8, 1, 6, 3), el("M3", 1, 4, 14, 4, 1, 5, 5),
                       el("G END", 3, 5, 18, 0, 1, 1, 0), el("AFTER", 1, 6, 18, 2, 1, 1, 6)}),
            0);
  fx::Rec d = el("DT D", 1, 7, 0, 4, 1, 7, 9);
  auto& dd = rec::view<DElem>(d.data());
  dd.file.set("DT");
  dd.key_kind = 0;
  dd.key_no = 0;
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00", {d}), 0);
  ASSERT_GE(fx::write("FILE", "ABC", "00",
                      {fx::rec("FILE", {{"name", "GRP"}, {"rec_len", "20"}, {"key_count", "1"}, {"key_elem[1]", "1"},
                                        {"area", "1000011"}}),
                       fx::rec("FILE", {{"name", "DT"}, {"rec_len", "4"}, {"key_count", "1"}, {"key_elem[1]", "7"},
                                        {"area", "1000012"}, {"area2", "2000012"}})}),
            0);
  compile_new("GK", [&](PcCtx& ctx, EmHeader* em) {
    EmCfi cfi;
    ASSERT_EQ(pc_fi(pc_ap("ABC", &ctx), "GRP", &cfi, &ctx), 1);
    ASSERT_EQ(int(cfi.fdb.key_count), 1);
    PcBuf<uint8_t> kdb(2048), sdb(2048);
    for (auto [f, buf] : {std::pair{em->kdb.get(), kdb.bytes()}, std::pair{em->sdb.get(), sdb.bytes()}}) {
      PROTO_FULL(f, 0, buf);
      f->rid = cfi.fdb.kdb.off;
      f->op = FM_OP_RID;
      f->rec_len = 2048;
      ASSERT_EQ(fm_read(f), 1);
      f->op = 0;
      f->rec_len = 0;
    }
    const auto& k = rec::view<FmKdb>(kdb.bytes());
    EXPECT_EQ(int(k.key_no), 0);
    EXPECT_EQ(int(k.key_len), 18);
    EXPECT_EQ(int(k.flags), 17 + 4);
    ASSERT_EQ(int(k.seg_count), 5);
    std::vector<std::vector<int>> segs;
    for (int j = 0; j < 5; ++j) {
      const auto& sg = rec::view<FmSdb>(sdb.bytes() + 8 * j);
      segs.push_back({int(sg.field), int(sg.offset), int(sg.length), int(sg.type), int(sg.order)});
    }
    EXPECT_EQ(segs, (std::vector<std::vector<int>>{{1, 0, 3, FM_SEG_ALPHA, '+'}, {2, 3, 3, FM_SEG_ALPHA, '+'},
                                                   {3, 6, 4, FM_SEG_BINARY, '+'}, {4, 10, 4, FM_SEG_BINARY, '+'},
                                                   {5, 14, 4, FM_SEG_BINARY, '+'}}));
    // The PCF's key list: the same five.
    bld_seg_fi(&ctx, em->pk.get(), cfi);
    std::vector<std::vector<int>> pks;
    each_rec<EmPk>(em->pk.get(), [&](const EmPk& r) { pks.push_back({int(r.field), int(r.offset), int(r.length)}); });
    std::sort(pks.begin(), pks.end());
    EXPECT_EQ(pks, (std::vector<std::vector<int>>{{1, 0, 3}, {2, 3, 3}, {3, 6, 4}, {4, 10, 4}, {5, 14, 4}}));
    // A 4-byte binary date is one segment, not two.
    EmCfi dt;
    ASSERT_EQ(pc_fi(pc_ap("ABC", &ctx), "DT", &dt, &ctx), 1);
    bld_seg_fi(&ctx, em->pk.get(), dt);
    pks.clear();
    each_rec<EmPk>(em->pk.get(), [&](const EmPk& r) {
      if (r.field >= 9) pks.push_back({int(r.field), int(r.offset), int(r.length)});
    });
    EXPECT_EQ(pks, (std::vector<std::vector<int>>{{9, 0, 4}}));
  });
}

// The dictionary sources stay open from one compile to the next; once
// forgotten (closed), a tool may scratch them, and the next compile opens
// what is there then.
TEST_F(Pc, DictionarySourcesStayOpenUntilForgotten) {
  define(proc6("KO", {line("", "END PROC")}));
  ASSERT_EQ(run("KO"), 2);
  pl_flush();
  size_t files = fm_open_count();
  uint32_t n0 = pc_compile_count();
  ASSERT_EQ(run("KO"), 2);
  EXPECT_EQ(pc_compile_count(), n0 + 1);
  pl_flush();
  EXPECT_EQ(fm_open_count(), files);
  FmFdb fdb;
  FmKdb* k = static_cast<FmKdb*>(MM_ALLOC(pc_scratch_pool(), sizeof(FmKdb) * 4));
  FmSdb* sd = static_cast<FmSdb*>(MM_ALLOC(pc_scratch_pool(), sizeof(FmSdb) * 16));
  INIT_DSTMT_FDB(&fdb, k, sd, "ABC", "00");
  EXPECT_EQ(FM_SCRATCH(&fdb, FM_OPT_NO_SYSDIR), 0);   // open by the compiler
  EXPECT_EQ(fdb.status, 200470u);
  pc_src_forget(true);
  EXPECT_LT(fm_open_count(), files);
  INIT_DSTMT_FDB(&fdb, k, sd, "ABC", "00");
  EXPECT_EQ(FM_SCRATCH(&fdb, FM_OPT_NO_SYSDIR), 1);
  mm_free(k);
  mm_free(sd);
  // New statements (the process record stays; it is not saved, so the
  // next get compiles).
  SeFileResult r;
  ASSERT_EQ(se_read_file("t.stmt", proc6("KO", {line("", "LOGOUT", "SYSTEM? N")}), nullptr, &r), 0);
  std::vector<std::string> errs;
  ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), 1);
  EXPECT_EQ(run("KO"), 24);
}

// SC_STMT_LIST: one 80-character line per statement of one event point, in
// sequence order; a statement file that cannot be opened gives result 0.
TEST_F(Pc, StatementListingOfAnEventPoint) {
  define("process 6 LST\nstatements 1\n" + line("", "*", "first remark") + "\n" + line("T", "END PROC") + "\n" +
         "statements 6\n" + line("", "EXIT") + "\n");
  sc_register();
  bool found = false;
  for (uint32_t i = 0; i < 64; ++i) found |= ii_ifn(i) == sc_stmt_list;
  EXPECT_TRUE(found);
  FmFdb fdb;
  INIT_FDB(&fdb, FM_CLASS_MEMORY, 80, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&fdb, "TS", "LS", FM_PT_DATA);
  ASSERT_EQ(FM_CREATE(&fdb, com.depth, 0, 0, 15, 15), 1);
  FmArb* out = fdb.handle.get();
  PcBuf<ScListArgs> a;
  a->app.set("ABC");
  a->ver.set("00");
  a->name.set("LST");
  a->type = 6;
  a->ep = 1;
  uint32_t args[3] = {2, arena::offset_of(a.p), arena::offset_of(out)};
  EXPECT_EQ(sc_stmt_list(args), 1);
  EXPECT_EQ(a->result, 1);
  PcBuf<uint8_t> rec(80);
  PROTO_FULL(out, 0, rec.bytes());
  out->op = FM_OP_FIRST;
  fm_start(out);
  out->op = 0;
  std::vector<std::string> lines;
  while (fm_rdnxt(out)) {
    std::string l(reinterpret_cast<char*>(rec.p), 80);
    while (!l.empty() && l.back() == ' ') l.pop_back();
    lines.push_back(l);
  }
  ASSERT_EQ(lines.size(), 2u);
  auto trim = [](std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };
  EXPECT_EQ(lines[0], trim(line("", "*", "first remark")));
  EXPECT_EQ(lines[1], trim(line("T", "END PROC")));
  a->app.set("QQQ");
  EXPECT_EQ(sc_stmt_list(args), 0);
  EXPECT_EQ(a->result, 0);
  FM_CLOSE(out, FM_CL_SCRATCH);
}

// Element maps: a group's members against a simple field, and a longer
// simple field against a shorter one (the rest maps to nothing).
TEST_F(Pc, ElementMapsSplitAtEveryFragment) {
  auto el = [](const char* name, int kind, int number, int off, int len, int fno, const char* last = "") {
    auto r = fx::rec("ELEMENT", {{"area", "1000009"}, {"work", "0"}, {"name", name}, {"kind", std::to_string(kind)},
                                 {"file", "MAPF"}, {"number", std::to_string(number)},
                                 {"offset", std::to_string(off)}, {"length", std::to_string(len)}, {"occurs", "1"},
                                 {"type", "1"}, {"key_kind", "255"}, {"field_no", std::to_string(fno)},
                                 {"ident_stamp", "2026-03-03T00:00:1" + std::to_string(number)}});
    rec::view<DElem>(r.data()).domain.set(last);
    return r;
  };
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00",
                      {el("G1", 2, 1, 0, 10, 1, "B2"), el("A1", 1, 2, 0, 4, 2), el("B2", 1, 3, 4, 6, 3),
                       el("D", 1, 4, 20, 10, 4), el("S", 1, 5, 40, 6, 5)}),
            0);
  FmFdb fdb;
  INIT_FDB(&fdb, FM_CLASS_MEMORY, 14, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&fdb, "TS", "MP", FM_PT_DATA);
  ASSERT_EQ(FM_CREATE(&fdb, com.depth, 0, 0, 15, 15), 1);
  FmArb* map = fdb.handle.get();
  auto maps = [&](const char* src, const char* dst) {
    PcMapCtl b;
    std::memcpy(b.ver, "00", 2);
    std::memcpy(b.src_app, "ABC", 3);
    ut_cpy_fill(b.src_elem, src, 22);
    std::memcpy(b.dst_app, "ABC", 3);
    ut_cpy_fill(b.dst_elem, dst, 22);
    b.map = map;
    fm_del_all(map);
    EXPECT_EQ(pc_bld_map(&b), 1);
    std::vector<std::vector<int>> out;
    each_rec<PcMap>(map, [&](const PcMap& m) {
      out.push_back({int(m.src_off), int(m.dst_off), int(m.src_fld), int(m.dst_fld), int(m.length)});
    });
    EXPECT_EQ(out.size(), b.count);
    return out;
  };
  EXPECT_EQ(maps("G1", "D"), (std::vector<std::vector<int>>{{0, 20, 2, 4, 4}, {4, 24, 3, 4, 6}}));
  EXPECT_EQ(maps("D", "S"), (std::vector<std::vector<int>>{{20, 40, 4, 5, 6}, {26, -1, 4, 0, 4}}));
  EXPECT_EQ(maps("S", "G1"), (std::vector<std::vector<int>>{{40, 0, 5, 2, 4}, {44, 4, 5, 3, 2}, {-1, 6, 0, 3, 4}}));
  FM_CLOSE(map, FM_CL_SCRATCH);
}

// Copy mode: a COPY compiles the copied Subroutine's statements in place,
// under the COPY's T/F column, and the enclosing event point goes on after
// it (the COPY verb here is the test's: it copies "SUBA").
int t_copy(ScCtx* sc, DStmt*) {
  PcCtx* pc = sc_pc(sc);
  auto* h = static_cast<FmArb*>(arena::at(pc->cap->src[kSrcStmt]));
  uint8_t prefix[36];
  std::memset(prefix, 0, sizeof prefix);
  prefix[0] = 6;
  std::memset(prefix + 1, ' ', 30);
  std::memcpy(prefix + 1, "SUBA", 4);
  return sc_cmpl_copy(sc, h, prefix, 36, 7);
}

TEST_F(Pc, CopyCompilesTheCopiedStatementsInPlace) {
  ScCmplFn old21 = sc_set_cmpl_fn(21, t_copy);
  define(proc6("CP", {line("", "WARNING", "M"), line("", "MESSAGE", "A"), line("T", "COPY", "ABC SUBA"),
                      line("", "MESSAGE", "C")}) +
         proc6("SUBA", {line("", "MESSAGE", "X"), line("F", "MESSAGE", "Y"), line("", "GOTO", "OUT"),
                        line("", "MESSAGE", "Z")}));
  // The copied GOTO's label is the enclosing event point's.
  define(proc6("CQ", {line("", "WARNING", "M"), line("T", "COPY", "ABC SUBA"), line("", "MESSAGE", "B"),
                      line("", "LABEL", "OUT"), line("", "MESSAGE", "C")}));
  uint32_t acc = 0;
  g_mask = 0x17F;   // levels 1 and 2 true: the copied F statement does not run
  EXPECT_EQ(run("CQ", 6, 2, 1, &acc), 1);
  // CQ: 200 COPY: SUBA's 100 (X) runs, 200 (Y, column "TF") not, GOTO OUT
  // skips 400 and B (300 of CQ); C (500) runs.
  EXPECT_EQ(acc, (100u * 31) + 500);
  g_mask = 0x1BF;   // level 2 false: Y runs too
  pl_flush();
  EXPECT_EQ(run("CQ", 6, 2, 1, &acc), 1);
  EXPECT_EQ(acc, ((100u * 31) + 200) * 31 + 500);
  g_mask = 0x2FF;   // level 1 false: the whole copy is skipped
  pl_flush();
  EXPECT_EQ(run("CQ", 6, 2, 1, &acc), 1);
  EXPECT_EQ(acc, (300u * 31) + 500);
  // Without the label the copied GOTO is an undefined label of CP.
  EXPECT_EQ(run("CP"), -200140);
  auto errs = errors("CP");
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].msg, kScUndefLabel);
  sc_set_cmpl_fn(21, old21);
}

// The TOC and TRAP records of a process whose event points hold COPYs: one
// TRAP record a statement in the order compiled (the copied ones where the
// COPY stands); a TOC record each event point and each COPY body, in the
// order they end (a body before its event point), each naming its TRAP
// records by number. Against the table the statements give.
TEST_F(Pc, TocAndTrapRecordsOfEventPointsWithCopies) {
  ScCmplFn old21 = sc_set_cmpl_fn(21, t_copy);
  define(std::string("process 6 CR\nstatements 1\n") + line("", "WARNING", "M") + "\n" +
         line("T", "COPY", "ABC SUBA") + "\n" + line("", "MESSAGE", "B") + "\nstatements 2\n" +
         line("", "MESSAGE", "D") + "\n" + line("", "COPY", "ABC SUBA") + "\nstatements 3\n" +
         line("", "MESSAGE", "E") + "\n" +
         proc6("SUBA", {line("", "MESSAGE", "X"), line("F", "MESSAGE", "Y"), line("", "MESSAGE", "Z"),
                        line("", "END")}));
  Pcb* p = e.pcb("CR", 2, 6);
  ASSERT_EQ(pl_get(p, 0), 1);
  EmHeader* em = p->module.get();
  std::vector<std::vector<int>> toc, trap;
  each_rec<IbToc>(em->toc.get(), [&](const IbToc& t) {
    toc.push_back({int(t.ep), int(t.index), int(t.owner), int(t.first_trap), int(t.last_trap)});
  });
  each_rec<IbTrap>(em->trap.get(), [&](const IbTrap& t) { trap.push_back({int(t.seq), int(t.toc_index)}); });
  EXPECT_EQ(em->toc_count, 5u);
  pl_release(p);
  Engine::free_pcb(p);
  sc_set_cmpl_fn(21, old21);
  // (ep, index, owner, first, last): a COPY body is event point 81, owned
  // by the copied process's number (7 here).
  EXPECT_EQ(toc, (std::vector<std::vector<int>>{
                     {81, 1, 7, 2, 5}, {1, 0, 0, 0, 6}, {81, 3, 7, 9, 12}, {2, 2, 0, 7, 12}, {3, 4, 0, 13, 13}}));
  EXPECT_EQ(trap, (std::vector<std::vector<int>>{{100, 0}, {200, 0}, {100, 1}, {200, 1}, {300, 1}, {400, 1},
                                                 {300, 0}, {100, 2}, {200, 2}, {100, 3}, {200, 3}, {300, 3},
                                                 {400, 3}, {100, 4}}));
}

// A TOTAL reference: the accumulator of the field occurrence (W1 has three
// occurrences, numbered 0, 1, 2 in the order of their SUM records) into a
// register, then the bucket of the current level; a constant is refused.
std::vector<uint32_t> g_sum;
int t_total(ScCtx* sc, DStmt*) {
  IbCode* code = sc_code(sc);
  ScOpnd op;
  std::memset(static_cast<void*>(&op), 0, sizeof op);
  op.occ = 2;
  op.app.set("ABC");
  op.text.set("W1");
  CElem e;
  CodeRef at = ib_here(code);
  if (!sc_cmpl_sum(sc, op, &e, 1, 1)) return sc_err(sc, sc_msg(sc)), 0;
  const uint8_t* p = code->storage + at.offset;
  g_sum.push_back(rec::view<IbInst>(const_cast<uint8_t*>(p)).op);
  g_sum.push_back(rec::view<IbIraSum>(const_cast<uint8_t*>(p)).acc);
  g_sum.push_back(rec::view<IbIraSum>(const_cast<uint8_t*>(p)).reg);
  g_sum.push_back(rec::view<IbInst>(const_cast<uint8_t*>(p) + 12).op);
  op.app.clear();
  g_sum.push_back(uint32_t(sc_cmpl_sum(sc, op, &e, 1, 0)));
  g_sum.push_back(sc_msg(sc));
  return 1;
}

// A summary reference to a field of three occurrences makes one entry per
// occurrence, numbered in order, each at its own place in the area; a
// reference again gives the same number, marked a total once any reference
// is one.
TEST_F(Pc, SummaryReferencesGiveEachOccurrenceItsEntry) {
  compile_new("SR", [&](PcCtx& ctx, EmHeader* em) {
    CElem c;
    std::memset(static_cast<void*>(&c), 0, sizeof c);
    c.ira = 7;
    c.e.occurs = 3;
    c.e.length = 5;
    c.e.area = 1000005;
    c.field_offset = 10;
    uint32_t first = rec::view<rec::U32>(em->b1280.data());
    uint32_t n2 = pc_sum_ref("ABC", &c, 2, 1, &ctx);
    auto entries = [&] {
      std::vector<PcSum> v;
      each_rec<PcSum>(em->sum.get(), [&](const PcSum& r) { v.push_back(r); });
      return v;
    };
    std::vector<PcSum> v = entries();
    ASSERT_EQ(v.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(uint32_t(v[i].number), first + i);
      EXPECT_EQ(uint32_t(v[i].index), i + 1);
      EXPECT_EQ(uint32_t(v[i].offset), 10 + 5 * i);
      EXPECT_EQ(uint32_t(v[i].area), 1000005u);
      EXPECT_EQ(uint32_t(v[i].total), 0u);
    }
    EXPECT_EQ(n2, first + 1);
    EXPECT_EQ(pc_sum_ref("ABC", &c, 2, 1, &ctx), n2);
    EXPECT_EQ(uint32_t(entries()[1].total), 0u);
    EXPECT_EQ(pc_sum_ref("ABC", &c, 2, 2, &ctx), n2);
    EXPECT_EQ(uint32_t(entries()[1].total), 1u);
    EXPECT_EQ(pc_sum_ref("ABC", &c, 2, 1, &ctx), n2);
    EXPECT_EQ(uint32_t(entries()[1].total), 1u);
    EXPECT_EQ(uint32_t(entries()[0].total), 0u);
    EXPECT_EQ(entries().size(), 3u);
    // Two occurrences: a reference to the first gives its own number.
    c.ira = 8;
    c.e.occurs = 2;
    c.e.area = 1000006;
    uint32_t next = rec::view<rec::U32>(em->b1280.data());
    EXPECT_EQ(pc_sum_ref("ABC", &c, 1, 1, &ctx), next);
    EXPECT_EQ(entries().size(), 5u);
  });
}

TEST_F(Pc, TotalReferenceLoadsItsAccumulator) {
  ScCmplFn old14 = sc_set_cmpl_fn(14, t_total);   // the test's statement is a CANCEL
  define(proc6("TT", {line("", "CANCEL", "X"), line("", "END PROC")}), "1");
  g_sum.clear();
  Pcb* p = e.pcb("TT", 2, 6);
  EXPECT_EQ(pl_get(p, 0), 1);
  auto sums = [](Pcb* q) { return uint32_t(rec::view<rec::U32>(q->module.get()->b1280.data())); };
  uint32_t count = sums(p);
  EXPECT_GT(count, 0u);
  pl_release(p);
  EXPECT_EQ(g_sum, (std::vector<uint32_t>{184, 1, 1, 186, 0, kScNoTarget}));
  // The saved module keeps its count of summary entries (a report's
  // totals need it).
  pl_flush();
  uint32_t n0 = pc_compile_count();
  p = e.pcb("TT", 2, 6);
  EXPECT_EQ(pl_get(p, 0), 1);
  EXPECT_EQ(pc_compile_count(), n0);
  EXPECT_EQ(sums(p), count);
  pl_release(p);
  sc_set_cmpl_fn(14, old14);
}

// The finders give the file's own records, by code and number, by frame and
// image number, by frame and child number or image and discriminator; the
// last one found is given again without reading, until pc_prep.
TEST_F(Pc, FindersGiveTheStoredRecords) {
  auto put = [](FmArb* f, void* r) {
    PROTO_FULL(f, 0, static_cast<uint8_t*>(r));
    return fm_write(f);
  };
  compile_new("FN", [&](PcCtx& ctx, EmHeader* em) {
    ASSERT_NE(em->cfrm.get(), nullptr);
    for (uint32_t i = 1; i <= 2; ++i) {
      PcBuf<EmCfrm> f;
      f->code = 1;
      f->number = 10 * i;
      f->seq = i;
      ASSERT_EQ(put(em->cfrm.get(), f.p), 1);
      PcBuf<EmCimg> m;
      m->frame_seq = i;
      m->image_no = 3;
      m->seq = 100 + i;
      ASSERT_EQ(put(em->cimg.get(), m.p), 1);
      PcBuf<EmCchld> c;
      c->seq = 200 + i;
      c->frame_seq = i;
      c->child_no = 7;
      c->image_seq = 100 + i;
      c->disc = 'A';
      ASSERT_EQ(put(em->cchld.get(), c.p), 1);
    }
    EmCfrm* f2 = pc_find_cfrm(&ctx, 1, 20);
    ASSERT_NE(f2, nullptr);
    EXPECT_EQ(f2->seq, 2u);
    EXPECT_EQ(pc_find_cfrm(&ctx, 2, 20), nullptr);
    EmCimg* m2 = pc_find_cimg(&ctx, f2, 3);
    ASSERT_NE(m2, nullptr);
    EXPECT_EQ(m2->seq, 102u);
    EXPECT_EQ(pc_find_cimg(&ctx, f2, 4), nullptr);
    EmCchld* c2 = pc_find_cchld(&ctx, f2, nullptr, 7, 0);
    ASSERT_NE(c2, nullptr);
    EXPECT_EQ(c2->seq, 202u);
    EmCfrm* f1 = pc_find_cfrm(&ctx, 1, 10);
    EmCimg* m1 = pc_find_cimg(&ctx, f1, 3);
    EmCchld* c1 = pc_find_cchld(&ctx, f1, m1, 0, 'A');
    ASSERT_NE(c1, nullptr);
    EXPECT_EQ(c1->seq, 201u);
    // The stored record itself: a change shows at the next read.
    f1->w132 = 0x5Au;
    EXPECT_EQ(pc_find_cfrm(&ctx, 1, 10), f1);
    pc_find_reset();
    EmCfrm* again = pc_find_cfrm(&ctx, 1, 10);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->w132.get(), 0x5Au);
  });
}

// The PCF's own compile: use flags and share mode in the CFI, the stamp
// fields with their compiled date masks, CFLD records of the PCF's fields
// and of its look-up files, the CV sub-file of a keyed Action PCF.
TEST_F(Pc, PcfCompileFillsFlagsStampsFieldsAndConversions) {
  int serial = 0;
  auto el = [&](const char* name, const char* file, int number, fx::Values more) {
    fx::Values v = {{"area", "1000005"}, {"work", "0"}, {"name", name}, {"kind", "1"}, {"file", file},
                    {"number", std::to_string(number)}, {"length", "4"}, {"occurs", "1"}, {"type", "5"},
                    {"key_kind", "255"}, {"ident_stamp", "2026-03-03T00:00:" + std::to_string(10 + serial++)}};
    for (auto& m : more) v.push_back(m);
    return fx::rec("ELEMENT", v);
  };
  ASSERT_GE(fx::write("ELEMENT", "ABC", "00",
                      {el("ORD NO", "ORD", 1, {{"key_kind", "0"}, {"key_no", "0"}}),
                       el("ORD DATE", "ORD", 2, {{"offset", "4"}, {"type", "4"}, {"mask", "0807-06-05"}}),
                       el("ORD BY", "ORD", 3, {{"offset", "8"}, {"type", "1"}, {"length", "8"}}),
                       el("ORD GRP", "ORD", 4, {{"offset", "16"}, {"kind", "2"}, {"domain", "ORD QTY"}}),
                       el("ORD QTY", "ORD", 5, {{"offset", "16"}, {"occurs", "2"}}),
                       el("ORD CUST", "ORD", 6, {{"offset", "24"}, {"ref_app", "ABC"}, {"ref_file", "REF"},
                                                 {"ref_field", "REF NO"}}),
                       el("ORD BAD", "ORD", 7, {{"offset", "28"}, {"ref_app", "ABC"}, {"ref_file", "REF"},
                                                {"ref_field", "NO SUCH"}}),
                       el("ORD SHIP", "ORD", 9, {{"offset", "28"}, {"ref_app", "ABC"}, {"ref_file", "REF"},
                                                 {"ref_field", "REF NO"}}),
                       el("ORD FAR", "ORD", 8, {{"offset", "32"}, {"ref_app", "QQQ"}, {"ref_file", "X"},
                                                {"ref_field", "X"}}),
                       el("REF NO", "REF", 1, {{"area", "1000006"}, {"key_kind", "0"}, {"key_no", "0"}}),
                       el("REF NAME", "REF", 2, {{"area", "1000006"}, {"offset", "4"}, {"b94", "3"},
                                                 {"label", "FIND REF"}}),
                       el("REF NOTE", "REF", 3, {{"area", "1000006"}, {"offset", "8"}, {"b94", "32"}}),
                       el("ACT KEY", "ACT", 1, {{"area", "1000007"}, {"kind", "2"}, {"domain", "ACT B"},
                                                {"key_kind", "0"}, {"key_no", "0"}}),
                       el("ACT A", "ACT", 2, {{"area", "1000007"}}),
                       el("ACT F", "ACT", 3, {{"area", "1000007"}, {"kind", "3"}}),
                       el("ACT B", "ACT", 4, {{"area", "1000007"}, {"offset", "4"}, {"type", "1"}})}),
            0);
  ASSERT_GE(fx::write("FILE", "ABC", "00",
                      {fx::rec("FILE", {{"name", "ORD"}, {"org", "3"}, {"rec_len", "36"}, {"key_count", "1"},
                                        {"key_elem[1]", "1"}, {"area", "1000005"}, {"area2", "2000009"},
                                        {"usage[2]", "3"}, {"usage[4]", "3"}, {"usage[6]", "2"}}),
                       fx::rec("FILE", {{"name", "REF"}, {"org", "3"}, {"rec_len", "12"}, {"key_count", "1"},
                                        {"key_elem[1]", "1"}, {"area", "1000006"}, {"area2", "2000010"}}),
                       fx::rec("FILE", {{"name", "ACT"}, {"org", "3"}, {"rec_len", "8"}, {"key_count", "1"},
                                        {"key_elem[1]", "1"}, {"area", "1000007"}, {"area2", "2000011"},
                                        {"b14", "1"}, {"xlate", "1"}})}),
            0);
  define(proc6("PF", {line("", "END PROC")}));
  Pcb* p = e.pcb("PF", 2, 6);
  ASSERT_EQ(pl_get(p, 0), 1);
  auto cflds = [](EmHeader* em) {
    std::map<std::string, EmCfld> out;
    each_rec<EmCfld>(em->cfld.get(), [&](const EmCfld& r) {
      std::string n = r.name.str();
      while (!n.empty() && n.back() == ' ') n.pop_back();
      out[r.app.str() + ":" + n] = r;
    });
    return out;
  };
  // Input: add and change allowed, delete not; share mode none.
  compile(
      p,
      [&](PcCtx& ctx, EmHeader* em) {
        ctx.def.flag106[0][0] = '1';
        ctx.def.flag106[1][0] = '0';
        ctx.def.flag106[2][0] = '1';
        ctx.def.b110[0] = '0';
        EmCap* cap = pc_ap("ABC", &ctx);
        EmCfi cfi;
        ASSERT_EQ(pc_fi(cap, "ORD", &cfi, &ctx), 1);
        EXPECT_EQ(cfi.use, 0);
        EXPECT_EQ(cfi.fdb.share, 15);
        // A memory-resident file carries the open option that opens it in its
        // class owner's pool; a translated one its mark. ORD is neither.
        EXPECT_EQ(cfi.fdb.options & FM_OPT_MEMORY, 0u);
        EXPECT_EQ(cfi.xlate, 0);
        EmCfi act;
        ASSERT_EQ(pc_fi(cap, "ACT", &act, &ctx), 1);
        EXPECT_EQ(act.fdb.options & FM_OPT_MEMORY, FM_OPT_MEMORY);
        EXPECT_EQ(act.xlate, 1);
        ASSERT_EQ(pc_pcf(cap, &cfi, &ctx), 1);
        EXPECT_EQ(cfi.use, 1 + 2 + 4);
        EXPECT_EQ(cfi.fdb.share, 0);
        EmCfi again;
        ASSERT_EQ(pc_fi(cap, "ORD", &again, &ctx), 1);  // the stored record
        EXPECT_EQ(again.use, 7);
        EXPECT_EQ(again.fdb.share, 0);
        // Stamps: slot 1 offset only, 3 typed, 5 a date with its compiled mask.
        PcPcfCmpl& pr = pc_pcf_cmpl(em);
        EXPECT_EQ(pr.stamp_off[0], -1);
        EXPECT_EQ(pr.stamp_off[1], 8);
        EXPECT_EQ(pr.stamp_off[3], 8);
        EXPECT_EQ(pr.stamp_off[5], 4);
        EXPECT_EQ(pr.typed[0].len, 0u);
        EXPECT_EQ(pr.typed[1].type, 1);
        EXPECT_EQ(pr.typed[1].len, 8u);
        EXPECT_EQ(pr.date[0].offset, -1);
        const DateStampRec& ds = pr.date[1];
        EXPECT_EQ(ds.offset, 4);
        EXPECT_EQ(ds.type, 4);
        EXPECT_EQ(ds.len, 4u);
        EXPECT_EQ(ds.high, 8);
        EXPECT_EQ(ds.low, 5);
        ASSERT_EQ(ds.mask_len, 6u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(ds.mask.b), 6), std::string("\x08\x07-\x06-\x05", 6));
        // CFLD: the simple fields only (no group, no look-up records).
        auto m = cflds(em);
        EXPECT_EQ(m.count("ABC:ORD GRP"), 0u);
        ASSERT_EQ(m.count("ABC:ORD QTY"), 1u);
        EXPECT_EQ(m["ABC:ORD QTY"].occurs, 2u);
        EXPECT_EQ(m["ABC:ORD QTY"].k40, 16u);
        EXPECT_EQ(m["ABC:ORD QTY"].area, 1000005u);
        EXPECT_EQ(m.count("ABC:REF NAME"), 0u);
        EXPECT_EQ(m.size(), 8u);
      },
      2);
  // Output: look-ups. The good one marks REF used and names its scanned
  // fields (once, though two look up REF); the bad field is a compile error;
  // an unknown application none.
  compile(
      p,
      [&](PcCtx& ctx, EmHeader* em) {
        os_sys_err_log_clear();
        EmCap* cap = pc_ap("ABC", &ctx);
        EmCfi cfi;
        ASSERT_EQ(pc_fi(cap, "ORD", &cfi, &ctx), 1);
        ASSERT_EQ(pc_pcf(cap, &cfi, &ctx), 1);
        EXPECT_EQ(cfi.use, 1);
        EXPECT_EQ(cfi.fdb.share, 15);
        auto m = cflds(em);
        EXPECT_EQ(m.count("ABC:ORD GRP"), 1u);
        ASSERT_EQ(m.count("ABC:REF NAME"), 1u);
        EXPECT_EQ(m["ABC:REF NAME"].occurs, 0u);
        EXPECT_EQ(m["ABC:REF NAME"].k40, 0u);
        EXPECT_EQ(m["ABC:REF NAME"].scan, 3);
        EXPECT_EQ(m["ABC:REF NAME"].scan_proc.str().substr(0, 8), "FIND REF");
        EXPECT_EQ(m.count("ABC:REF NOTE"), 0u);
        EmCfi ref;
        ASSERT_EQ(pc_fi(cap, "REF", &ref, &ctx), 1);
        EXPECT_EQ(ref.use, 1);
        EXPECT_EQ(ctx.errors, 1u);
        EXPECT_TRUE(os_sys_err_log().empty());
      },
      3);
  auto errs = errors("PF", 3);
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].msg, kPcBadLookup);
  EXPECT_EQ(errs[0].kind, kPcErrProc);
  EXPECT_EQ(errs[0].name.str().substr(0, 7), "ORD BAD");
  // Action over a keyed PCF: one conversion per simple member of its group
  // key (the filler skipped); with definition byte 376 '1' none.
  for (char keep : {' ', '1'})
    compile(
        p,
        [&](PcCtx& ctx, EmHeader* em) {
          ctx.def.flag376[0][0] = keep;
          EmCap* cap = pc_ap("ABC", &ctx);
          EmCfi cfi;
          ASSERT_EQ(pc_fi(cap, "ACT", &cfi, &ctx), 1);
          ASSERT_EQ(pc_pcf(cap, &cfi, &ctx), 1);
          std::vector<int> types;
          each_rec<CvItem>(em->cv.get(), [&](const CvItem& it) {
            types.push_back(it.type);
            EXPECT_TRUE(it.flags & kCvCompiled);
          });
          EXPECT_EQ(types, keep == '1' ? std::vector<int>{} : (std::vector<int>{5, 1}));
          EXPECT_EQ(cflds(em).size(), 0u);
        },
        4);
  pl_release(p);
}

namespace {

// The query's own selection and sort lines of process "QRY" (type 5):
// QSLCT and QSORT records byte for byte, and the lines refused.
fx::Rec slct(uint32_t line, int kind, const char* lapp, const char* lfld, int locc, const char* rapp,
             const char* rval, int rel, uint32_t child = 0) {
  return fx::rec("SELECT", {{"proc_type", "5"}, {"proc_name", "QRY"}, {"b40", std::to_string(child)},
                            {"line", std::to_string(line)}, {"text_kind", std::to_string(kind)},
                            {"l_occ", std::to_string(locc)}, {"l_app", lapp}, {"l_field", lfld},
                            {"r_occ", "0"}, {"r_app", rapp}, {"r_value", rval},
                            {"relation", std::to_string(rel)}});
}
fx::Rec sort_line(uint32_t seq, const char* app, const char* fld, const char* order, const char* brk,
                  const char* flag = " ") {
  return fx::rec("SORT", {{"proc_type", "5"}, {"proc_name", "QRY"}, {"seq", std::to_string(seq)},
                          {"app", app}, {"field", fld}, {"order", order}, {"brk", brk}, {"flag70[1]", flag},
                          {"occ", "0"}});
}

// An expected QSLCT record, field by field.
std::string want_qslct(uint8_t kind, uint32_t line, uint16_t locc, const char* lapp, const char* lfld,
                       const char* rapp, const char* rval, uint8_t rel, char on) {
  std::string r(112, ' ');
  auto put = [&](size_t at, const std::string& s) { r.replace(at, s.size(), s); };
  put(0, "ABCQRY");
  r[33] = char(kind);
  for (int i = 0; i < 4; ++i) r[size_t(36 + i)] = char(line >> (8 * i));
  r[40] = char(locc), r[41] = 0;
  put(42, lapp);
  put(45, lfld);
  r[70] = 1, r[71] = 0;
  put(72, rapp);
  put(75, rval);
  r[105] = char(rel);
  r[106] = on;
  r[107] = '0';
  return r;
}

TEST_F(Pc, QueryLinesCompileIntoQslctAndQsortRecords) {
  std::string q5 = "statements 1\n" + line("", "END PROC") + "\n";
  define("process 5 QRY\n" + q5 + "process 5 QRZ\n" + q5 + proc6("CH", {line("", "END PROC")}));
  // The lines of another process.
  auto as = [](fx::Rec r, int type, const char* name) {
    r[0] = uint8_t(type);
    std::memset(r.data() + 1, ' ', 30);
    std::memcpy(r.data() + 1, name, std::strlen(name));
    return r;
  };
  ASSERT_EQ(fx::write("SELECT", "ABC", "00",
                      {slct(1, 8, "ABC", "W1", 2, "", "ABC", 1), slct(2, 8, "0LA", "B", 0, "", "42", 3),
                       slct(3, 8, "0LA", "C", 1, "0LA", "C", 6), slct(4, 8, "0LA", "B", 1, "", "7", 255),
                       slct(5, 8, "0LA", "C", 1, "", "\" \"", 1), slct(6, 9, "0LA", "B", 1, "", "", 1),
                       slct(7, 8, "0LA", "B", 1, "", "5", 7), slct(8, 8, "0LA", "B", 1, "", "", 1)}),
            8);
  ASSERT_EQ(fx::write("SORT", "ABC", "00",
                      {sort_line(1, "ABC", "W1", "+", "1"), sort_line(2, "0LA", "B", "-", "0"),
                       sort_line(3, "", "", " ", " ")}),
            3);
  Pcb* p = e.pcb("QRY", 2, 5);
  ASSERT_EQ(pl_get(p, 0), 1) << (errors("QRY", 5).empty() ? "" : pc_cmpl_err_line(errors("QRY", 5)[0]));
  EmHeader* em = p->module.get();
  std::vector<std::string> got;
  each_rec<PbQslct>(em->qslct.get(), [&](const PbQslct& q) {
    got.emplace_back(reinterpret_cast<const char*>(&q), sizeof q);
  });
  std::vector<std::string> want = {
      want_qslct(8, 1, 2, "ABC", "W1", "", "ABC", 1, '1'), want_qslct(8, 2, 1, "0LA", "B", "", "42", 3, '1'),
      want_qslct(8, 3, 1, "0LA", "C", "0LA", "C", 6, '1'),
      // no relation: off; a blank value in quotes stays on
      want_qslct(8, 4, 1, "0LA", "B", "", "7", 255, '0'), want_qslct(8, 5, 1, "0LA", "C", "", "\" \"", 1, '1'),
      // a kind-9 line is always on
      want_qslct(9, 6, 1, "0LA", "B", "", "", 1, '1'),
      // the highest relation; no right field and no value: off
      want_qslct(8, 7, 1, "0LA", "B", "", "5", 7, '1'), want_qslct(8, 8, 1, "0LA", "B", "", "", 1, '0')};
  EXPECT_EQ(got, want);
  got.clear();
  each_rec<PbQsort>(em->qsort.get(), [&](const PbQsort& q) {
    got.emplace_back(reinterpret_cast<const char*>(&q), sizeof q);
  });
  auto want_sort = [](uint32_t seq, const char* app, const char* fld, char order, char sorted, char f71) {
    std::string r(92, ' ');
    r.replace(0, 6, "ABCQRY");
    for (int i = 0; i < 4; ++i) r[size_t(36 + i)] = char(seq >> (8 * i));
    r.replace(40, std::strlen(app), app);
    r.replace(43, std::strlen(fld), fld);
    r[66] = 1, r[67] = 0;
    r[68] = order;
    r[71] = f71;
    r.replace(75, 3, "000");
    r.replace(84, 3, "000");
    r[87] = sorted;
    r[88] = '0';
    return r;
  };
  EXPECT_EQ(got, (std::vector<std::string>{want_sort(1, "ABC", "W1", '+', '1', ' '),
                                           want_sort(2, "0LA", "B", '-', '0', ' '),
                                           want_sort(0, "", "", '+', '1', '1')}));
  pl_release(p);
  Engine::free_pcb(p);

  // Refused lines: each an error of its record, and the process does not
  // compile.
  pc_src_forget(true);
  ASSERT_EQ(fx::write("SELECT", "ABC", "00",
                      {as(slct(16, 8, "0LA", "B", 1, "", "XYZ", 1), 5, "QRZ"),
                       as(slct(17, 8, "0LA", "B", 1, "", "1", 9), 5, "QRZ"),
                       as(slct(18, 8, "ABC", "NO SUCH", 1, "", "1", 1), 5, "QRZ"),
                       as(slct(19, 8, "0LA", "B", 1, "", "1", 8), 5, "QRZ"),
                       as(slct(20, 8, "0LA", "B", 1, "", "1", 0), 5, "QRZ")}),
            5);
  ASSERT_EQ(fx::write("SORT", "ABC", "00", {as(sort_line(4, "0LA", "C", "+", "1", "X"), 5, "QRZ")}), 1);
  p = e.pcb("QRZ", 2, 5);
  EXPECT_EQ(pl_get(p, 0), 0);
  std::vector<uint32_t> msgs;
  for (const DCmplErr& r : errors("QRZ", 5)) msgs.push_back(r.msg);
  EXPECT_EQ(msgs, (std::vector<uint32_t>{kPcBadSlctValue, kPcBadRelation, kPcNoField, kPcBadRelation,
                                         kPcBadRelation, kPcBadFlag}));
  Engine::free_pcb(p);

  // A line of a child invocation the process does not have is passed over.
  pc_src_forget(true);
  ASSERT_EQ(fx::write("SELECT", "ABC", "00", {as(slct(1, 8, "0LA", "B", 1, "", "1", 1, 1), 6, "CH")}), 1);
  p = e.pcb("CH", 2, 6);
  EXPECT_EQ(pl_get(p, 0), 1);
  EXPECT_TRUE(errors("CH", 6).empty());
  pl_release(p);
  Engine::free_pcb(p);
}

}  // namespace
