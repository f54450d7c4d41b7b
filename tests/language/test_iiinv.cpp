// PASS, RUN and CALL on hand-assembled code: RUN through the real shell
// (the command line each parameter's text becomes one word of), CALL of the
// project's test library by path (every pass kind and type as the callee
// receives it) and of the engine's own functions.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/ssunix.h"
#include "ii2_fix.h"
#include "process/pishr.h"

namespace {

using namespace ii2;
namespace fs = std::filesystem;

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The NUL-separated words a.sh received.
std::vector<std::string> split0(const std::string& s) {
  std::vector<std::string> v;
  size_t at = 0;
  for (size_t z; (z = s.find('\0', at)) != std::string::npos; at = z + 1) v.push_back(s.substr(at, z - at));
  return v;
}

class IiInv : public Fix {
 protected:
  std::string dir;
  void* lib = nullptr;
  long* words = nullptr;
  unsigned char (*bytes)[32] = nullptr;
  unsigned* ptrs = nullptr;
  int* count = nullptr;
  int* result = nullptr;
  uint8_t* a3 = nullptr;  // the steering record: the call result at 4
  PdStatus* st = nullptr;
  int32_t ifn_seen[8] = {};

  void SetUp() override {
    Fix::SetUp();
    char tmpl[] = "/tmp/quvo-inv-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    // The steering record (data area 3) and the status record (7) as the
    // process compiler describes them.
    uint32_t ix = 0;
    a3 = field(sizeof(PdArea3), &ix);
    areas[3].set(a3);
    auto* t = static_cast<EmAreaEntry*>(MM_ALLOC(m.pool, sizeof(EmAreaEntry) * (kFields + 1)));
    std::memset(static_cast<void*>(t), 0, sizeof(EmAreaEntry) * (kFields + 1));
    t[1].index = 3;
    t[1].size = sizeof(PdArea3);
    t[2].index = kPcbStatusArea;
    t[2].size = sizeof(PdStatus);
    m.em->area_table.set(reinterpret_cast<uint8_t*>(t));
    uint32_t six = 0;
    uint8_t* sp = field(sizeof(PdStatus), &six);
    std::memset(sp, ' ', sizeof(PdStatus));
    areas[kPcbStatusArea].set(sp);
    st = reinterpret_cast<PdStatus*>(sp);
    st->warnings = 0;
    st->errors = 0;
    std::string lib_dir = fs::path(QUVO_TESTCALL).parent_path().string();
    ss_dyn_set_dirs(lib_dir.c_str());
    // The test holds the library too, so its notes outlive an unload.
    lib = dlopen(QUVO_TESTCALL, RTLD_NOW);
    ASSERT_NE(lib, nullptr) << dlerror();
    words = static_cast<long*>(dlsym(lib, "qc_words"));
    bytes = static_cast<unsigned char(*)[32]>(dlsym(lib, "qc_bytes"));
    ptrs = static_cast<unsigned*>(dlsym(lib, "qc_ptrs"));
    count = static_cast<int*>(dlsym(lib, "qc_count"));
    result = static_cast<int*>(dlsym(lib, "qc_result"));
    ASSERT_TRUE(words && bytes && ptrs && count && result);
    *ptrs = 0;
    *count = 0;
    *result = 1;
    restart();
  }
  void TearDown() override {
    ss_dyn_set_dirs(nullptr);
    if (lib) dlclose(lib);
    fs::remove_all(dir);
    Fix::TearDown();
  }

  int32_t call_result() { return rec::view<PdArea3>(a3).call_result; }
  void set_call_result(int32_t v) { rec::view<PdArea3>(a3).call_result = v; }
  // A field holding `v` (blank-padded to len) and its field index.
  uint32_t text(const std::string& v, size_t len = 0) {
    uint32_t ira = 0;
    if (!len) len = v.size();
    uint8_t* p = field(len, &ira);
    std::memset(p, ' ', len);
    std::memcpy(p, v.data(), std::min(len, v.size()));
    return ira;
  }
  uint32_t bytes_field(const std::vector<uint8_t>& v) {
    uint32_t ira = 0;
    std::memcpy(field(v.size(), &ira), v.data(), v.size());
    return ira;
  }
  // PASS of a whole field (pass kind 1 unless given).
  void pass(uint32_t ira, int type, size_t len, bool by_ref = false, int kind = 1, bool is_signed = false) {
    PifRec r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.app.set("ABC");
    r.ira = ira;
    r.type = uint32_t(type) | (is_signed ? 0x100u : 0u);
    r.len = uint32_t(len);
    r.kind = uint8_t(kind);
    r.by_ref = by_ref ? 1 : 0;
    ASSERT_NE(bld_pass(&m.code, r), nullptr);
  }
  void pass_text(const std::string& v) { pass(text(v), 1, v.size()); }
  // The statement's truth: EXIT_COND on a true level 1 ends the event
  // point with its mask.
  bool go() {
    bld_exit_cond(&m.code, 1);
    end();
    uint32_t mask = 0;
    EXPECT_EQ(run(cref(1, 0), &mask), 1);
    restart();
    return ((mask >> 8) & 3) == 1;
  }
  bool run_cmd(const std::string& cmd, uint8_t fail_mode = 0) {
    bld_ira(&m.code, text(cmd), 1);
    bld_run(&m.code, 10, 0, fail_mode, uint32_t(cmd.size()));
    return go();
  }
  bool call(const std::string& fn, bool keep = false, size_t len = 0) {
    bld_ira(&m.code, text(fn, len), 1);
    bld_call(&m.code, 10, keep ? 1 : 0, ' ', 0, uint32_t(len ? len : fn.size()));
    return go();
  }
  std::string lib_fn(const char* name) { return std::string(QUVO_TESTCALL) + "," + name; }
  std::vector<PifRec> pif() {
    std::vector<PifRec> v;
    FmArb* f = m.pcb->pif.get();
    if (!f || !fm_is_handle(f)) return v;
    f->op = FM_OP_FIRST;
    fm_start(f);
    f->op = FM_OP_FAST;
    while (uint8_t* p = fm_rdnxt_fast(f, 0)) v.push_back(rec::view<PifRec>(p));
    f->op = 0;
    return v;
  }
  // A script that writes the words it gets, NUL-separated, to dir/args.
  std::string script() {
    std::string s = dir + "/a.sh";
    std::ofstream(s) << "#!/bin/sh\nprintf '%s\\0' \"$@\" > " << dir << "/args\n";
    chmod(s.c_str(), 0755);
    return s;
  }
};

// $n, $*, \$ and the rest as the table of the statement says, every
// parameter one quoted word; the command line's length limit holds at the
// limit and refuses one byte past it (nothing is cut).
TEST_F(IiInv, RunCommandExpansionTable) {
  std::vector<std::string> p2{"a b", "c"};
  struct Case {
    std::string text;
    std::vector<std::string> params;
    std::string want;
  } cases[] = {
      {"cmd $1 $2", p2, "cmd 'a b' 'c'"},
      {"cmd $*", p2, "cmd 'a b' 'c' "},
      {"cmd $1 $*", p2, "cmd 'a b' 'c' "},
      {"cmd $2 $*", p2, "cmd 'c' "},
      {"cmd $*", {}, "cmd "},
      {"cmd $0$3$12", p2, "cmd "},
      {"echo \\$HOME $x", p2, "echo $HOME "},
      {"cmd $10", std::vector<std::string>(10, "v"), "cmd 'v'"},
      {"cmd $18446744073709551617", p2, "cmd "},  // 2^64 + 1: no parameter, not the first
      {"a\266b", {}, "ab"},
      {"it's $1", {"it's"}, "it's 'it'\\''s'"},
  };
  com.para_mark = 182;
  for (const Case& c : cases) {
    std::string out;
    ASSERT_TRUE(ii_run_command(c.text.data(), c.text.size(), c.params, &out)) << c.text;
    EXPECT_EQ(out, c.want) << c.text;
  }
  std::string out;
  std::string at(kRunMaxCommand - 4, 'x'), past(kRunMaxCommand - 3, 'x');  // "x " and two quotes
  EXPECT_TRUE(ii_run_command("x $1", 4, {at}, &out));
  EXPECT_EQ(out.size(), kRunMaxCommand);
  EXPECT_FALSE(ii_run_command("x $1", 4, {past}, &out));
}

// Each data type's text (stuff_param), statuses of exit, signal and stop,
// and the parameter file empty after the RUN.
TEST_F(IiInv, RunGivesEachTypeItsTextAndTheStatus) {
  std::string sh = script();
  uint8_t pk[5] = {0x00, 0x12, 0x34, 0x5D};             // -12345 (packed 8, 4 bytes)
  uint8_t pv[9] = {0, 0, 0, 0, 0, 0x01, 0x23, 0x4C, 2};  // 12.34 (8 bytes and scale 2)
  pk[3] = uint8_t(0x50 | com.pd_neg);
  pv[7] = uint8_t(0x40 | com.pd_pos);
  pass(text("alpha  ", 7), 1, 7);
  pass(bytes_field({0xFF}), 5, 1);
  pass(bytes_field({0xFE, 0xFF}), 5, 2);
  pass(bytes_field({0xFB, 0xFF, 0xFF, 0xFF}), 5, 4);
  pass(bytes_field({7, 0, 0, 0, 9, 0, 0, 0}), 6, 8);
  pass(bytes_field({7, 0, 0, 0}), 7, 4);
  pass(bytes_field(std::vector<uint8_t>(pk, pk + 4)), 8, 4);
  pass(bytes_field(std::vector<uint8_t>(pv, pv + 9)), 12, 9);
  pass(bytes_field({'1'}), 11, 1);
  pass(bytes_field({1, 2, 3}), 3, 3);
  EXPECT_TRUE(run_cmd(sh + " $*"));
  EXPECT_EQ(split0(slurp(dir + "/args")),
            (std::vector<std::string>{"alpha", "-1", "-2", "-5", "79", "7", "-12345", "12.34", "1", ""}));
  EXPECT_TRUE(pif().empty());
  EXPECT_EQ(call_result(), 0);
  // A failing command is a true statement with its status.
  EXPECT_TRUE(run_cmd("exit 3"));
  EXPECT_EQ(call_result(), 3);
  EXPECT_TRUE(run_cmd("kill -9 \\$\\$"));
  EXPECT_EQ(call_result(), 128 + 9);
  EXPECT_TRUE(run_cmd("kill -STOP \\$\\$"));
  EXPECT_EQ(call_result(), 256 + SIGSTOP);
  // NEW PAGE AFTER "0" keeps the screen for one RUN only.
  st->new_page_after.set("0");
  EXPECT_TRUE(run_cmd("true"));
  EXPECT_EQ(st->new_page_after.data()[0], ' ');
}

// Fields holding shell syntax reach the command as one argument each, byte
// for byte, and nothing of them runs.
TEST_F(IiInv, RunPassesShellSyntaxAsPlainArguments) {
  std::string sh = script();
  std::vector<std::string> vals{"a;touch " + dir + "/semi", "'q\"", "$(touch " + dir + "/dollar)",
                                "`touch " + dir + "/tick`", "l1\nl2", "-n", "*", "x\\y"};
  for (const std::string& v : vals) pass_text(v);
  EXPECT_TRUE(run_cmd(sh + " $*"));
  EXPECT_EQ(split0(slurp(dir + "/args")), vals);
  for (const char* f : {"/semi", "/dollar", "/tick"}) EXPECT_FALSE(fs::exists(dir + f)) << f;
  // $1 and $2 in their places.
  pass_text("one");
  pass_text("two words");
  EXPECT_TRUE(run_cmd(sh + " $2 x $1"));
  EXPECT_EQ(split0(slurp(dir + "/args")), (std::vector<std::string>{"two words", "x", "one"}));
}

// A command past the limit is refused, false with "RUN FAILED" (a warning
// by failure mode 1), the result field unchanged; at the limit it runs.
TEST_F(IiInv, RunRefusesACommandPastTheLimit) {
  std::string p(16380, 'p');
  // "true" + pad + 4 quoted copies: 5 + pad + 4 * 16382 bytes.
  pass_text(p);
  set_call_result(-1);
  EXPECT_TRUE(run_cmd("true xxx$1$1$1$1"));
  EXPECT_EQ(call_result(), 0);
  pass_text(p);
  set_call_result(-1);
  EXPECT_FALSE(run_cmd("true xxxx$1$1$1$1", 1));
  EXPECT_EQ(call_result(), -1);
  EXPECT_TRUE(pif().empty());
  EXPECT_EQ(st->warnings.get(), 1u);
}

// PASS numbers its records from 2; RUN and CALL consume them all.
TEST_F(IiInv, PassNumbersFromTwo) {
  pass_text("a");
  pass_text("b");
  end();
  ASSERT_EQ(run(cref(1, 0)), 1);
  restart();
  auto v = pif();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0].seq.get(), 2u);
  EXPECT_EQ(v[1].seq.get(), 3u);
}

// The parameter file and the scan work file: keyed by their binary
// numbers, read back in number order.
TEST_F(IiInv, ParameterAndScanFilesReadInNumberOrder) {
  for (auto init : {INIT_PIF_FDB, INIT_SCAN_STMT_FDB}) {
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC(m.pool, sizeof(FmKdb)));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC(m.pool, sizeof(FmSdb)));
    auto* rec = static_cast<uint8_t*>(MM_ALLOC(m.pool, 80));
    FmFdb f;
    init(&f, kdb, sdb);
    ASSERT_EQ(FM_CREATE(&f, 0, 4, 0, 15, 15), 1);
    FmArb* h = f.handle.get();
    for (uint32_t n : {300u, 2u, 256u}) {
      std::memset(rec, 0, 80);
      rec::view<rec::U32>(rec) = n;
      h->rec.set(rec);
      h->rec_len = 0;
      h->op = 0;
      ASSERT_EQ(fm_write(h), 1);
    }
    std::vector<uint32_t> got;
    h->op = FM_OP_FIRST;
    fm_start(h);
    h->op = FM_OP_FAST;
    while (uint8_t* p = fm_rdnxt_fast(h, 0)) got.push_back(rec::view<rec::U32>(p));
    h->op = 0;
    EXPECT_EQ(got, (std::vector<uint32_t>{2, 256, 300}));
    FM_CLOSE(h, FM_CL_SCRATCH);
  }
}

// Every pass kind and type as the callee receives it: values zero- or
// sign-extended, copies zero-terminated, references the field itself.
TEST_F(IiInv, CallPassesEveryKindAndType) {
  uint32_t alpha = text("abc  ", 5), b1 = bytes_field({0xFF}), b2 = bytes_field({0xFF, 0xFF}),
           b4 = bytes_field({0xFB, 0xFF, 0xFF, 0xFF}), lg = bytes_field({'1'}),
           pk = bytes_field({0x12, 0x3C}), dt = bytes_field({1, 2, 3, 4}), rc = bytes_field({9, 8, 7, 6, 5});
  pass(alpha, 1, 5);
  pass(b1, 5, 1);
  pass(b2, 5, 2, false, 5, true);
  pass(b4, 5, 4, false, 7, true);
  pass(b4, 5, 4);  // unsigned
  pass(lg, 11, 1);
  pass(pk, 8, 2);
  pass(dt, 4, 4);
  pass(rc, 0, 5, false, 3);
  *ptrs = 1u << 0 | 1u << 6 | 1u << 7 | 1u << 8;
  EXPECT_TRUE(call(lib_fn("qc_note")));
  EXPECT_EQ(*count, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes[0]), 6), std::string("abc  \0", 6));
  EXPECT_EQ(words[1], 255);
  EXPECT_EQ(words[2], 65535);
  EXPECT_EQ(words[3], -5);
  EXPECT_EQ(words[4], 4294967291L);
  EXPECT_EQ(words[5], '1');
  EXPECT_EQ(bytes[6][0], 0x12);
  EXPECT_EQ(bytes[6][1], 0x3C);
  EXPECT_EQ(std::memcmp(bytes[7], "\1\2\3\4", 4), 0);
  EXPECT_EQ(std::memcmp(bytes[8], "\11\10\7\6\5", 5), 0);
  // Copies are not the fields.
  EXPECT_NE(words[0], reinterpret_cast<long>(areas[alpha].get()));
  *ptrs = 0;
  // By reference: the field's own address, and what the callee writes shows.
  uint32_t f = text("original", 8), n = bytes_field({41, 0, 0, 0});
  for (int kind : {1, 5, 7, 3}) {
    pass(f, kind == 3 ? 0 : 1, 8, true, kind);
    EXPECT_TRUE(call(lib_fn("qc_note")));
    EXPECT_EQ(words[0], reinterpret_cast<long>(areas[f].get())) << kind;
  }
  pass(f, 1, 8, true);
  EXPECT_TRUE(call(lib_fn("qc_poke")));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(areas[f].get()), 8), "CHANGEDl");
  pass(n, 5, 4, true, 1, true);
  EXPECT_TRUE(call(lib_fn("qc_bump")));
  EXPECT_EQ(areas[n].get()[0], 42);
  EXPECT_EQ(call_result(), 42);
  // -5 in a signed 4-byte field arrives as -5 in a long.
  pass(b4, 5, 4, false, 1, true);
  EXPECT_TRUE(call(lib_fn("qc_minus5")));
}

// The result decides the truth and goes to the call result field; a
// missing library or symbol is false with the field and the parameters
// kept and the load failure on standard error.
TEST_F(IiInv, CallResultAndMissingFunctions) {
  pass(bytes_field({0, 0, 0, 0}), 5, 4, false, 1, true);
  EXPECT_FALSE(call(lib_fn("qc_ret")));
  EXPECT_EQ(call_result(), 0);
  pass(bytes_field({7, 0, 0, 0}), 5, 4, false, 1, true);
  EXPECT_TRUE(call(lib_fn("qc_ret")));
  EXPECT_EQ(call_result(), 7);
  for (std::string ref : {dir + "/none.so,qc_ret", lib_fn("no_such_function"), std::string("no comma here")}) {
    pass_text("kept");
    set_call_result(99);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(call(ref)) << ref;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(call_result(), 99);
    EXPECT_EQ(pif().size(), 1u) << ref;
    // A library whose function is missing does not stay loaded.
    EXPECT_EQ(ss_dyn_count(), 0) << ref;
    if (ref.find(',') != std::string::npos) {
      EXPECT_NE(err.find("failed"), std::string::npos) << err;
    }
    pass_text("x");
    EXPECT_FALSE(call("no comma")) ;  // consumes nothing either
    EXPECT_EQ(pif().size(), 2u);
    // The next RUN takes them all.
    EXPECT_TRUE(run_cmd("true"));
    EXPECT_TRUE(pif().empty());
  }
}

// '%' and the keep flag keep the library loaded; otherwise it goes after
// the call. Sixteen words are called, seventeen call nothing.
TEST_F(IiInv, CallKeepsLibrariesAndLimitsWords) {
  ss_dyn_free(lib_fn("qc_note"));
  int before = ss_dyn_count();
  EXPECT_TRUE(call(lib_fn("qc_note")));
  EXPECT_EQ(ss_dyn_count(), before);
  std::string dirpart = fs::path(QUVO_TESTCALL).parent_path().string();
  std::string pct = dirpart + "/%" + fs::path(QUVO_TESTCALL).filename().string() + ",qc_note";
  EXPECT_TRUE(call(pct));
  EXPECT_EQ(ss_dyn_count(), before + 1);
  ss_dyn_free(pct);
  EXPECT_TRUE(call(lib_fn("qc_note"), true));
  EXPECT_EQ(ss_dyn_count(), before + 1);
  ss_dyn_free(lib_fn("qc_note"));
  for (int n : {16, 17}) {
    *count = 0;
    for (int i = 1; i <= n; ++i) pass(bytes_field({uint8_t(i), 0, 0, 0}), 5, 4);
    uint32_t warnings = st->warnings;
    EXPECT_EQ(call(lib_fn("qc_note")), n == 16) << n;
    EXPECT_EQ(*count, n == 16 ? 1 : 0) << n;
    if (n == 16)
      for (int i = 0; i < 16; ++i) EXPECT_EQ(words[i], i + 1);
    else
      EXPECT_EQ(st->warnings.get(), warnings + 1);
    EXPECT_TRUE(pif().empty());
  }
}

// A passed file reaches a resident library ('%') as its open handle, any
// other library as a copy of its path name.
TEST_F(IiInv, CallPassesAFileAsItsHandleOrItsName) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(m.pool, sizeof(FmKdb)));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(m.pool, sizeof(FmSdb)));
  FmFdb f;
  INIT_PIF_FDB(&f, kdb, sdb);
  ASSERT_EQ(FM_CREATE(&f, 0, 4, 0, 15, 15), 1);
  FmArb* h = f.handle.get();
  uint32_t ctl = bytes_field(std::vector<uint8_t>(8, 0));  // the file's control area
  rec::view<rec::U32>(areas[ctl].get() + 4) = arena::offset_of(h);
  std::string dirpart = fs::path(QUVO_TESTCALL).parent_path().string();
  std::string pct = dirpart + "/%" + fs::path(QUVO_TESTCALL).filename().string() + ",qc_note";
  pass(ctl, 0, 8, false, 2);
  EXPECT_TRUE(call(pct));
  EXPECT_EQ(words[0], reinterpret_cast<long>(h));
  ss_dyn_free(pct);
  pass(ctl, 0, 8, false, 2);
  EXPECT_TRUE(call(lib_fn("qc_note")));
  EXPECT_NE(words[0], reinterpret_cast<long>(h));
  EXPECT_NE(words[0], 0);
  FM_CLOSE(h, FM_CL_SCRATCH);
}

// ',' calls an engine function with the PCB first, '.' without it.
int32_t g_ifn_args[4];
int32_t test_ifn(const uint32_t* args) {
  for (int i = 0; i < 4; ++i) g_ifn_args[i] = i <= int(args[0]) ? int32_t(args[i]) : -1;
  return 5;
}
TEST_F(IiInv, CallOfEngineFunctions) {
  ii_register_ifn("QV_TEST_IFN", test_ifn);
  uint32_t v = bytes_field({3, 0, 0, 0});
  pass(v, 5, 4);
  EXPECT_TRUE(call(",QV_TEST_IFN"));
  EXPECT_EQ(call_result(), 5);
  EXPECT_EQ(g_ifn_args[0], 2);
  EXPECT_EQ(uint32_t(g_ifn_args[1]), arena::offset_of(m.pcb));
  EXPECT_EQ(g_ifn_args[2], 3);
  pass(v, 5, 4);
  EXPECT_TRUE(call(".  QV_TEST_IFN"));
  EXPECT_EQ(g_ifn_args[0], 1);
  EXPECT_EQ(g_ifn_args[1], 3);
  // A function of a subsystem not built answers 0: false.
  EXPECT_FALSE(call(".RT_GET_AP"));
  EXPECT_EQ(call_result(), 0);
}

}  // namespace
