// Suspend and resume: an independent run with SUBMIT PROCESS '1' is
// written to a suspend file and submitted through the real submit script,
// which starts a second engine (quvo -s ID) on the same data directory; the
// resumed Subroutine shows through RUN the values its areas had. Damaged,
// cut or mislabelled suspend files are refused, run nothing and stay.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "abc_run.h"
#include "design/sefile.h"
#include "files/unixio.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "language/ii.h"
#include "language/ibctl.h"
#include "language/iiutil.h"
#include "pc_fixture.h"
#include "pl_fixture.h"
#include "process/emrec.h"
#include "process/pishr.h"
#include "process/pl.h"
#include "process/services.h"
#include "support/child_test.h"
#include "support/quvo_run.h"
#include "support/stmt_text.h"
#include "support/syserr.h"
#include "support/tmux.h"

using namespace pltest;
using namespace tmuxrun;
using namespace stmttext;
namespace fs = std::filesystem;

namespace {

std::string text_of(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The values the suspended run's areas get before it is suspended.
void set_values(Pcb* p, const char*) {
  if (auto* a3 = pi_area_rec<PdArea3>(p, 3)) a3->call_result = 4242;
  if (auto* st = pi_area_rec<PdStatus>(p, kPcbStatusArea)) {
    st->page_no = 77;
    st->next_proc.set("RESTORED");
  }
  if (auto* a1 = pi_area_rec<PdArea1>(p, 1)) a1->background.set("1");
}

// The PCB's own areas (not file control areas), by class, application
// and slot.
std::map<std::string, std::string> owned_areas(Pcb* p) {
  std::map<std::string, std::string> m;
  for (int c = 0; c < kSaaClasses; ++c)
    for (SaaRec* r : pi_saa_owned(p, c)) {
      if (r->count == 0xFFFFFFFFu) continue;
      for (uint32_t k = 1; k <= r->count; ++k) {
        SaaSlot& sl = r->slots()[k];
        uint8_t* a = sl.area ? sl.area.get() : sl.handed.get();
        if (!a || sl.kind == 1) continue;
        m[std::to_string(c) + r->app.str() + std::to_string(k)] = std::string(reinterpret_cast<char*>(a), sl.size);
      }
    }
  return m;
}
// The records of the memory file "ABC" 00 TMPF of the scope, in key order.
std::vector<std::string> tmpf_records(int scope, bool create) {
  static auto* kdb = static_cast<FmKdb*>(arena::alloc_chunk(sizeof(FmKdb)));
  static auto* sdb = static_cast<FmSdb*>(arena::alloc_chunk(sizeof(FmSdb)));
  static auto* buf = static_cast<uint8_t*>(arena::alloc_chunk(64));
  init_sdb_func(sdb, 0, 0, 4, FM_SEG_ALPHA, '+');
  INIT_KDB(kdb, 0, '+', 8, sdb, 1);
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_MEMORY, 16, 0, kdb, 1);
  INIT_TMP_PATH(&f, "ABC", "00", "TMPF", scope);
  std::vector<std::string> v;
  if (create) {
    if (!FM_CREATE(&f, scope, 10, 0, 15, 15)) return v;
    for (const char* r : {"k003 third     ", "k001 first     ", "k002 second    "}) {
      std::memcpy(buf, r, 16);
      FmArb* h = f.handle.get();
      h->rec.set(buf);
      h->rec_len = 0;
      h->op = 0;
      fm_write(h);
    }
  } else if (!FM_OPEN(&f, scope, 0, 15, 15)) {
    return v;
  }
  FmArb* h = f.handle.get();
  h->op = FM_OP_FIRST;
  fm_start(h);
  h->rec.set(buf);
  h->rec_len = 16;
  h->op = 0;
  while (fm_rdnxt(h)) v.emplace_back(reinterpret_cast<char*>(buf), h->len_read);
  h->rec.reset();
  return v;
}
std::map<std::string, std::string> g_areas_before, g_areas_after;
std::vector<std::string> g_file_before, g_file_after;
void values_and_file(Pcb* p, const char* x) {
  set_values(p, x);
  // The database of its next RELATED run, chosen by the process itself.
  if (auto* a5 = pi_area_rec<PdArea5>(p, 5)) a5->db.set("QQQ");
  g_file_before = tmpf_records(p->pool_scope, true);
  g_areas_before = owned_areas(p);
}
void look_at_ep01(void* arg) {
  auto* a = static_cast<PiEpArg*>(arg);
  if (a->event_point == 1) {
    g_areas_after = owned_areas(a->pcb);
    g_file_after = tmpf_records(a->pcb->pool_scope, false);
  }
  a->result = 1;
}

class Susp : public AbcRun {
 protected:
  Susp() : AbcRun("susp") {}
  std::string cwd;
  Engine e;
  bool with_fit = false;  // the file statements' application "FIT" joins

  void SetUp() override {
    AbcRun::SetUp();
    cwd = fs::current_path().string();
    if (with_fit) {
      std::string boot = root + "/boot";
      std::string gen = std::string(QUVOGEN_BINARY) + " " + QUVO_DATA_APPS + " " + QUVO_TEST_DIR + "/language/fi-app " +
                        boot + " > " + root + "/gen.log 2>&1";
      ASSERT_EQ(std::system(gen.c_str()), 0) << text_of(root + "/gen.log");
      QuvoRun b = run_quvo({"-b"}, {"QUVOPATH=" + data, "QUVO_BOOT_SRC=" + boot, "QUVO_BOOT_AP=FIT", "QUVO_TEST_USER=ABU", "TERM=dumb"});
      ASSERT_EQ(b.status, 0) << b.out << b.err;
      // Its statements run in this engine too (the families join at its start).
      ii_families_register();
    }
    fs::current_path(root);
    // The Subroutine the background engine resumes: its areas' values as
    // RUN's parameters, into a file.
    std::ofstream(root + "/r.sh") << "#!/bin/sh\nprintf '%s\\n' \"$@\" > resumed.out\n";
    chmod((root + "/r.sh").c_str(), 0755);
    std::string bg = "process 6 BG\nstatements 1\n" +
                     line("", "PASS", {{0, "---"}, {4, "CALL RESULT"}, {31, "FIELD"}, {55, "N"}}) +
                     line("", "PASS", {{0, "---"}, {4, "PAGE NUMBER"}, {31, "FIELD"}, {55, "N"}}) +
                     line("", "PASS", {{0, "---"}, {4, "NEXT PROCESS NAME"}, {31, "FIELD"}, {55, "N"}}) +
                     line("", "RUN", {{4, "./r.sh $*"}, {49, "N"}, {57, "0"}}) + line("", "END PROC");
    e.dir = data;
    e.start(false);
    SeFileResult r;
    ASSERT_EQ(se_read_file("bg.stmt", bg, nullptr, &r), 0);
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {proc_rec("BG", 6, "1", 50, "2026-01-01T00:00:01", "2026-01-01T00:00:01")}), 1);
    com.user_id.set("ABU");
    pi_getters_reset();
    ASSERT_TRUE(compilers_on());
    ASSERT_EQ(pi_init(), 1);
    ii_register();
    proc_svc.rt_dflt_disp = set_values;
    // The submit script: notes its arguments, starts the second engine.
    std::ofstream(root + "/submit.sh")
        << "#!/bin/sh\necho \"$@\" >> " << root << "/submits\n"
        << "for a in \"$@\"; do case \"$a\" in -session=*) id=${a#-session=};; esac; done\n"
        << "cd " << q(root) << " && env -i PATH=/usr/bin:/bin HOME=" << q(root) << " QUVOPATH=" << q(data)
        << " LD_LIBRARY_PATH=" << q(fs::path(QUVO_TESTCALL).parent_path().string())
        << " QUVO_TEST_USER=ABU" << sanitizer_env() << " " << q(QUVO_BINARY) << " -s \"$id\" > " << root
        << "/bg.out 2> " << root << "/bg.err\necho $? > " << root << "/bg.rc\n";
    chmod((root + "/submit.sh").c_str(), 0755);
    setenv("QUVO_BG_SCRIPT", (root + "/submit.sh").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QUVO_BG_SCRIPT");
    unsetenv("QUVO_FAKE_TIME");
    pi_init();
    e.stop(false);
    fs::current_path(cwd);
    AbcRun::TearDown();
  }
  std::string sess_dir() { return data + "/sess/0SA00"; }
  // The records of suspend file id, read through the file manager.
  std::vector<std::string> records(const std::string& id) {
    std::vector<std::string> v;
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, FM_MAX_REC, 1, nullptr, 0);
    INIT_SA_PATH(&f, id.c_str(), FM_PT_SESS);
    EXPECT_EQ(FM_OPEN(&f, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
    FmArb* h = f.handle.get();
    if (!h) return v;
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(e.pool, FM_MAX_REC));
    h->op = FM_OP_FIRST;
    fm_start(h);
    h->rec.set(buf);
    h->rec_len = FM_MAX_REC;
    h->op = 0;
    while (fm_rdnxt(h)) v.emplace_back(reinterpret_cast<char*>(buf), h->len_read);
    h->rec.reset();
    FM_CLOSE(h, 0);
    mm_free(buf);
    return v;
  }
  // The ids of suspend files (temporary names start with '_').
  std::set<std::string> ids() {
    std::set<std::string> v;
    if (!fs::exists(sess_dir())) return v;
    for (auto& d : fs::directory_iterator(sess_dir())) {
      std::string n = d.path().filename().string();
      if (n[0] != '_') v.insert(n);
    }
    return v;
  }
  int run_independent() {
    PiInvoc v = abc_invoc("BG", 6, 2);
    v.independent = 1;
    return pi_run(&v);
  }
};

// With the file statements' application: its Subroutine RESUMED reads
// FITACCT's record 3 and writes record 11, ending with LOGOUT (127) only
// when both succeed.
constexpr int kAcctLen = 4 + 12 + 8 + 20;
class SuspFit : public Susp {
 protected:
  SuspFit() { with_fit = true; }
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(Susp::SetUp());
    std::string p =
        "process 6 RESUMED\nstatements 1\n"
        "      COMPUTE  FIT ACCT NO                    *      0\n"
        "      COMPUTE  FIT ACCT NO                    +      3\n"
        "      READ     FIT FITACCT        0         0            ACCT NO\n"
        "F     GOTO     BAD\n"
        "      IF       FIT ACCT NO                    NE     3\n"
        "T     GOTO     BAD\n"
        "      COMPUTE  FIT ACCT NO                    +      8\n"
        "      WRITE    FIT FITACCT                  0\n"
        "F     GOTO     BAD\n"
        "      LOGOUT           N\n"
        "      LABEL    BAD\n"
        "      END PROC\n";
    SeFileResult r;
    ASSERT_EQ(se_read_file("resumed.stmt", p, nullptr, &r), 0);
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("FIT", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
    ASSERT_EQ(fx::write("PROCESS", "FIT", "00", {proc_rec("RESUMED", 6, "1", 50, "2026-01-01T00:00:01", "2026-01-01T00:00:01")}), 1);
  }
};

// The independent run suspends, the submit script gets its arguments and
// starts the second engine, which resumes the process with its values and
// scratches the file.
TEST_F(Susp, ABackgroundRunResumesInASecondEngine) {
  int code = run_independent();
  EXPECT_EQ(code, 2);
  std::string submits = text_of(root + "/submits");
  EXPECT_NE(submits.find("-session="), std::string::npos) << submits;
  EXPECT_NE(submits.find("-user=ABU"), std::string::npos) << submits;
  EXPECT_EQ(text_of(root + "/bg.rc"), "0\n") << text_of(root + "/bg.err");
  EXPECT_EQ(text_of(root + "/resumed.out"), "4242\n77\nRESTORED\n") << text_of(root + "/bg.err");
  EXPECT_TRUE(ids().empty());
}

// Resumed in this engine: the shared areas it owns and its temporary
// memory file come back equal, the file scratched after.
TEST_F(Susp, AreasAndTemporaryFilesComeBackEqual) {
  std::ofstream(root + "/submit.sh") << "#!/bin/sh\nexit 0\n";
  proc_svc.rt_dflt_disp = values_and_file;
  ASSERT_EQ(run_independent(), 2);
  ASSERT_EQ(g_file_before.size(), 3u);
  ASSERT_FALSE(g_areas_before.empty());
  ASSERT_EQ(ids().size(), 1u);
  std::string id = *ids().begin();
  {
    // Its temporary files: the one it made (the message files are the
    // engine's own, made anew by the engine that resumes).
    std::vector<std::string> names;
    for (const std::string& r : records(id))
      if (r.size() == sizeof(FmFdb)) names.push_back(rec::view<FmFdb>(reinterpret_cast<const uint8_t*>(r.data())).name.str());
    EXPECT_EQ(names, std::vector<std::string>{"TMPF"});
  }
  PiInvoc v;
  ASSERT_TRUE(pi_session_start(&v, id));
  // A resumed process keeps what it was suspended with: its display
  // defaults are not set again.
  proc_svc.rt_dflt_disp = [](Pcb* p, const char*) {
    if (auto* a3 = pi_area_rec<PdArea3>(p, 3)) a3->call_result = 1;
  };
  proc_svc.ii_proc_exec = look_at_ep01;
  EXPECT_EQ(pi_run(&v), 2);
  EXPECT_EQ(g_file_after, g_file_before);
  EXPECT_EQ(g_file_after[0].substr(0, 4), "k001");
  EXPECT_EQ(g_areas_after, g_areas_before);
  EXPECT_TRUE(ids().empty());
}

// FITACCT's file control area in a run of FIT's Subroutine RESUMED.
PiFileCtl* acct_fca(Pcb* p, EmCfi** cfi) {
  EmHeader* em = p->module.get();
  FmArb* c = em ? em->cfi.get() : nullptr;
  if (!c) return nullptr;
  c->key_no = 0;
  c->op = FM_OP_FIRST;
  fm_start(c);
  c->op = FM_OP_FAST;
  EmCfi* acct = nullptr;
  while (uint8_t* r = fm_rdnxt_fast(c, 0))
    if (reinterpret_cast<EmCfi*>(r)->fdb.name.str() == "FITACCT") acct = reinterpret_cast<EmCfi*>(r);
  c->op = 0;
  if (!acct) return nullptr;
  *cfi = acct;
  uint32_t ix = acct->ctl_ira, n = em->n_areas;
  if (ix > n) ix = (ix - arena::offset_of(em->area_addr.get())) / 4;
  return ix >= 1 && ix <= n ? reinterpret_cast<PiFileCtl*>(p->area_addr.get()[ix].get()) : nullptr;
}
// The run has FITACCT open in its control area, record 3 read, when it goes
// to the background; the handle lives in g_open_scope.
FmArb* g_susp_handle = nullptr;
int g_open_scope = -1;
void open_acct_and_suspend(Pcb* p, const char* x) {
  set_values(p, x);
  g_susp_handle = nullptr;
  EmCfi* acct = nullptr;
  PiFileCtl* fca = acct_fca(p, &acct);
  if (!fca) return;
  FmFdb f = acct->fdb;
  f.db.set("FTD");
  if (!FM_OPEN(&f, g_open_scope < 0 ? com.subproc_scope : g_open_scope, 0, 15, 15)) return;
  static auto* buf = static_cast<uint8_t*>(arena::alloc_chunk(64));
  std::memset(buf, 0, 64);
  buf[0] = 3;
  FmArb* h = f.handle.get();
  PROTO_FULL(h, 0, buf);
  h->op = FM_OP_EQUAL;
  if (fm_read(h) && buf[0] == 3) g_susp_handle = h;
  h->op = 0;
  fca->handle.set(h);
}
// FITACCT's records, by ACCT NO, through the record interface.
std::vector<uint32_t> acct_numbers(MmPool pool) {
  std::vector<uint32_t> v;
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_DISK, kAcctLen, 0, nullptr, 0);
  INIT_DB_PATH(&f, "FTD", "FIT", "00", "FITACCT", FM_PT_DATA);
  f.stamp[0] = 0xFFFFFFFFu;
  f.stamp[1] = 0xFFFFFFFFu;
  if (!FM_OPEN(&f, 0, FM_OPT_NO_STRUCT, 15, 15)) return v;
  FmArb* h = f.handle.get();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, kAcctLen));
  h->op = FM_OP_FIRST;
  fm_start(h);
  h->rec.set(buf);
  h->rec_len = kAcctLen;
  h->op = 0;
  while (fm_rdnxt(h)) v.push_back(rec::view<rec::U32>(buf).get());
  h->rec.reset();
  FM_CLOSE(h, 0);
  mm_free(buf);
  return v;
}
std::vector<uint32_t> one_to(uint32_t n) {
  std::vector<uint32_t> v;
  for (uint32_t k = 1; k <= n; ++k) v.push_back(k);
  return v;
}

// A process suspended with a file open resumes in a second engine with its
// file control areas empty: it opens its files anew, reads a record and
// writes one, which lands in the file.
TEST_F(SuspFit, AResumedProcessReopensItsFiles) {
  QuvoRun s = run_quvo({"-d", "FTD", "-a", "FIT", "-t", "Subroutine", "-p", "SETUP"},
                       {"QUVOPATH=" + data, "QUVO_TEST_USER=ABU", "HOME=" + root, "TERM=dumb"});
  ASSERT_EQ(s.status, 127) << s.err;
  proc_svc.rt_dflt_disp = open_acct_and_suspend;
  com.startup_db.set("FTD");
  com.cur_db.set("FTD");
  PiInvoc v = abc_invoc("RESUMED", 6, 2);
  v.app.set("FIT");
  v.independent = 1;
  ASSERT_EQ(pi_run(&v), 2);
  EXPECT_NE(g_susp_handle, nullptr);
  EXPECT_EQ(text_of(root + "/bg.rc"), "127\n") << text_of(root + "/bg.err");
  EXPECT_TRUE(ids().empty());
  // SETUP's ten records and the resumed process's eleventh.
  EXPECT_EQ(acct_numbers(e.pool), one_to(11));
}

// Resumed in this engine while the handle the process had open when it
// was suspended is still live: its control area comes back empty, so it
// opens FITACCT for itself, and its READ and WRITE work on its own handle.
bool g_stale_handle = true;
void (*g_real_exec)(void*) = nullptr;
void check_fca_at_ep01(void* arg) {
  auto* a = static_cast<PiEpArg*>(arg);
  if (a->event_point == 1) {
    EmCfi* acct = nullptr;
    PiFileCtl* fca = acct_fca(a->pcb, &acct);
    g_stale_handle = !fca || fca->handle.get() == g_susp_handle || !fca->handle;
  }
  g_real_exec(arg);
}
TEST_F(SuspFit, AResumedProcessFindsItsFileControlAreasEmpty) {
  std::ofstream(root + "/submit.sh") << "#!/bin/sh\nexit 0\n";
  QuvoRun s = run_quvo({"-d", "FTD", "-a", "FIT", "-t", "Subroutine", "-p", "SETUP"},
                       {"QUVOPATH=" + data, "QUVO_TEST_USER=ABU", "HOME=" + root, "TERM=dumb"});
  ASSERT_EQ(s.status, 127) << s.err;
  proc_svc.rt_dflt_disp = open_acct_and_suspend;
  g_open_scope = 0;
  com.startup_db.set("FTD");
  com.cur_db.set("FTD");
  PiInvoc v = abc_invoc("RESUMED", 6, 2);
  v.app.set("FIT");
  v.independent = 1;
  ASSERT_EQ(pi_run(&v), 2);
  g_open_scope = -1;
  ASSERT_NE(g_susp_handle, nullptr);
  ASSERT_TRUE(fm_is_handle(g_susp_handle));
  ASSERT_EQ(ids().size(), 1u);
  PiInvoc r;
  ASSERT_TRUE(pi_session_start(&r, *ids().begin()));
  proc_svc.rt_dflt_disp = [](Pcb*, const char*) {};
  g_real_exec = proc_svc.ii_proc_exec;
  proc_svc.ii_proc_exec = check_fca_at_ep01;
  int code = pi_run(&r);
  EXPECT_FALSE(g_stale_handle);
  EXPECT_TRUE(ids().empty());
  FM_CLOSE(g_susp_handle, 0);
  EXPECT_EQ(code, 24);  // LOGOUT: its READ and WRITE succeeded
  EXPECT_EQ(acct_numbers(e.pool), one_to(11));
}

// At the suspension the process has a parameter file holding a record (a
// PASS not yet used) and the test library loaded and kept ('%').
bool g_pif_made = false, g_lib_loaded = false;
void pif_and_library_then_suspend(Pcb* p, const char* x) {
  set_values(p, x);
  static auto* kdb = static_cast<FmKdb*>(arena::alloc_chunk(sizeof(FmKdb)));
  static auto* sdb = static_cast<FmSdb*>(arena::alloc_chunk(sizeof(FmSdb)));
  static auto* r = static_cast<PifRec*>(arena::alloc_chunk(sizeof(PifRec)));
  FmFdb fdb;
  INIT_PIF_FDB(&fdb, kdb, sdb);
  g_pif_made = false;
  if (FM_CREATE(&fdb, p->pool_scope, 16, 0, 15, 15)) {
    FmArb* f = fdb.handle.get();
    std::memset(static_cast<void*>(r), 0, sizeof *r);
    r->seq = 2;
    f->rec.set(reinterpret_cast<uint8_t*>(r));
    f->rec_len = 0;
    f->op = 0;
    g_pif_made = fm_write(f) == 1;
    f->rec.reset();
    p->pif.set(f);
  }
  void* fn = nullptr;
  ss_dyn_set_dirs(fs::path(QUVO_TESTCALL).parent_path().c_str());
  g_lib_loaded = ss_dyn_load(std::string(QUVO_TESTCALL) + ",qc_ret", &fn) && fn && ss_dyn_count() == 1;
}

// Resumed in a second engine, the process's parameter file is empty (a RUN
// passes nothing) and the library is loaded anew by its own CALL, which gets
// exactly what the resumed process passed.
TEST_F(Susp, APassFileAndALibraryInUseAreNotCarriedOver) {
  std::string bg = "process 6 BGPIF\nstatements 1\n" + line("", "RUN", {{4, "./r.sh $*"}, {49, "N"}, {57, "0"}}) +
                   line("", "PASS", {{0, "---"}, {4, "PAGE NUMBER"}, {31, "FIELD"}, {55, "N"}}) +
                   line("", "CALL", {{4, "libqvcall.so,qc_ret"}, {41, "N"}, {49, "N"}, {57, "0"}}) +
                   line("F", "GOTO", {{0, "BAD"}}) +
                   test("", "IF", "CALL RESULT", 1 /* EQ */, "77") + line("F", "GOTO", {{0, "BAD"}}) +
                   line("", "LOGOUT", {{8, "N"}}) + line("", "LABEL", {{0, "BAD"}}) + line("", "END PROC");
  SeFileResult r;
  ASSERT_EQ(se_read_file("bgpif.stmt", bg, nullptr, &r), 0);
  std::vector<std::string> errs;
  ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
  ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {proc_rec("BGPIF", 6, "1", 50, "2026-01-01T00:00:02", "2026-01-01T00:00:02")}), 1);
  proc_svc.rt_dflt_disp = pif_and_library_then_suspend;
  PiInvoc v = abc_invoc("BGPIF", 6, 2);
  v.independent = 1;
  EXPECT_EQ(pi_run(&v), 2);
  ss_dyn_set_dirs(nullptr);
  EXPECT_TRUE(g_pif_made);
  EXPECT_TRUE(g_lib_loaded);
  EXPECT_EQ(text_of(root + "/bg.rc"), "127\n") << text_of(root + "/bg.err");
  EXPECT_EQ(text_of(root + "/resumed.out"), "\n");
  EXPECT_TRUE(ids().empty());
}

// A submit script that fails: a message, code 4, no file left.
TEST_F(Susp, AFailedSubmitLeavesNoFile) {
  std::ofstream(root + "/submit.sh") << "#!/bin/sh\nexit 3\n";
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_independent(), 4);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("not submitted"), std::string::npos) << err;
  EXPECT_TRUE(ids().empty());
  // No submit script at all: its system error, answered CANCEL, and no file.
  unsetenv("QUVO_BG_SCRIPT");
  SysErrCapture cap(SysErrAnswer::Cancel);
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_independent(), 4);
  testing::internal::GetCapturedStderr();
  EXPECT_NE(cap.last().find("QUVO_BG_SCRIPT"), std::string::npos) << cap.last();
  EXPECT_TRUE(ids().empty());
}

// A process with no temporary files and no shared areas: the SESSION
// record, "SAAS", the thirteen class records and the closing record.
TEST_F(Susp, AnEmptyProcessWritesTheSessionAndTheClasses) {
  std::ofstream(root + "/submit.sh") << "#!/bin/sh\nexit 0\n";
  Pcb* p = e.pcb("BG", 2, 6);
  p->invoc.independent = 1;
  p->invoc.surface1 = 5;
  ASSERT_EQ(pi_suspend(p), 1);
  ASSERT_EQ(ids().size(), 1u);
  std::string id = *ids().begin();
  std::string raw = text_of(sess_dir() + "/" + id);
  // Read back through the file manager.
  std::vector<std::string> recs = records(id);
  ASSERT_EQ(recs.size(), 1u + 1 + 13 + 1);
  PiInvoc want = p->invoc;
  want.kind = 2;
  want.independent = 0;
  want.surface1 = 0;
  want.parent_pcb.reset();
  std::string session(reinterpret_cast<const char*>(&want), sizeof want);
  session += std::string(8, '\0');
  session.replace(144, 3, "   ");
  EXPECT_EQ(recs[0], session);
  EXPECT_EQ(recs[1], "SAAS");
  for (uint32_t c = 0; c < 13; ++c) EXPECT_EQ(recs[2 + c], std::string(reinterpret_cast<const char*>(&c), 4)) << c;
  EXPECT_EQ(recs[15].substr(0, 4), "SUSP");
  EXPECT_EQ(rec::view<rec::U32>(recs[15].data() + 4).get(), 15u);
}

// Two suspensions in one hundredth (the clock fixed) get two files; a name
// that is taken is never written over.
TEST_F(Susp, TwoSuspensionsUnderOneTimeGetTwoFiles) {
  std::ofstream(root + "/submit.sh") << "#!/bin/sh\nexit 0\n";
  setenv("QUVO_FAKE_TIME", "20260101120000", 1);
  std::string why;
  ASSERT_TRUE(os_fake_time_load(&why)) << why;
  HostTime now;
  os_quvo_time(&now);
  // The next ids are taken already.
  fs::create_directories(sess_dir());
  std::set<std::string> taken;
  for (uint32_t k = 0; k < 50; ++k) {
    uint32_t st[2] = {now.day, now.hundredths + k};
    char id[9] = {};
    pl_gen_nam(0, st, id);
    std::ofstream(sess_dir() + "/" + id) << "taken";
    taken.insert(id);
  }
  Pcb* p = e.pcb("BG", 2, 6);
  ASSERT_EQ(pi_suspend(p), 1);
  ASSERT_EQ(pi_suspend(p), 1);
  std::set<std::string> all = ids();
  EXPECT_EQ(all.size(), taken.size() + 2);
  for (const std::string& t : taken) EXPECT_EQ(text_of(sess_dir() + "/" + t), "taken") << t;
}

// A suspend file cut at each record boundary, with a bit flipped in any
// record, or with a wrong class number is refused with its reason, and
// stays; the second engine runs nothing and ends non-zero.
TEST_F(Susp, DamagedSuspendFilesAreRefusedAndStay) {
  std::ofstream(root + "/submit.sh") << "#!/bin/sh\nexit 0\n";
  ASSERT_EQ(run_independent(), 2);
  ASSERT_EQ(ids().size(), 1u);
  std::string id = *ids().begin(), path = sess_dir() + "/" + id;
  std::string good = text_of(path);
  struct stat made {};
  ASSERT_EQ(stat(path.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 0777, 0640u);  // written by its owner alone
  // The file's records, as the sequential file frames them.
  auto write = [&](const std::string& id2, const std::vector<std::string>& recs) {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, FM_MAX_REC, 1, nullptr, 0);
    INIT_SA_PATH(&f, id2.c_str(), FM_PT_SESS);
    FM_SCRATCH(&f, 0);
    ASSERT_EQ(FM_CREATE(&f, 0, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
    FmArb* h = f.handle.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(e.pool, FM_MAX_REC));
    for (const std::string& r : recs) {
      std::memcpy(buf, r.data(), r.size());
      h->rec.set(buf);
      h->rec_len = uint16_t(r.size());
      h->op = 0;
      ASSERT_EQ(fm_write(h), 1);
    }
    h->rec.reset();
    FM_CLOSE(h, FM_CL_KEEP);
    mm_free(buf);
    // Written by this user alone, as the engine writes them.
    chmod((sess_dir() + "/" + id2).c_str(), 0640);
  };
  std::vector<std::string> recs = records(id);
  ASSERT_GT(recs.size(), 16u);
  auto refused = [&](const std::string& what) {
    PiInvoc v;
    testing::internal::CaptureStderr();
    bool ok = pi_session_start(&v, "BADSESS1");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ok) << what;
    EXPECT_NE(err.find("nothing runs"), std::string::npos) << what << ": " << err;
    EXPECT_EQ(err.find("another user"), std::string::npos) << what << ": " << err;
    EXPECT_TRUE(fs::exists(sess_dir() + "/BADSESS1")) << what;
  };
  for (size_t cut = 0; cut < recs.size(); ++cut) {
    write("BADSESS1", std::vector<std::string>(recs.begin(), recs.begin() + long(cut)));
    refused("cut at record " + std::to_string(cut));
  }
  std::mt19937 rng(20261207);
  for (int i = 0; i < 40; ++i) {
    std::vector<std::string> bad = recs;
    std::string& r = bad[rng() % bad.size()];
    r[rng() % r.size()] ^= char(1 << (rng() % 8));
    write("BADSESS1", bad);
    refused("bit flip " + std::to_string(i));
  }
  // Records changed with their closing sum made to match.
  auto resummed = [](std::vector<std::string> bad) {
    uint32_t crc = 0;
    for (size_t k = 0; k + 1 < bad.size(); ++k) {
      uint8_t lb[4];
      rec::view<rec::U32>(lb) = uint32_t(bad[k].size());
      crc = uio_crc32c(lb, 4, crc);
      crc = uio_crc32c(bad[k].data(), bad[k].size(), crc);
    }
    rec::view<rec::U32>(bad.back().data() + 8) = crc;
    return bad;
  };
  size_t saas = 0;
  while (recs[saas] != "SAAS") ++saas;
  // An area's contents one byte shorter or longer than its slot says (the
  // first area after the first shared-area record): the process would be
  // given bytes that are not its own.
  size_t area = 0;
  for (size_t k = saas + 1; k + 1 < recs.size() && !area; ++k) {
    if (recs[k].size() < sizeof(SaaRec)) continue;
    const auto& r = rec::view<SaaRec>(recs[k].data());
    if (r.count == 0xFFFFFFFFu) continue;
    for (uint32_t n = 1; n <= r.count && !area; ++n) {
      const auto& sl = rec::view<SaaSlot>(recs[k].data() + 16 + 16 * n);
      if (sl.area || sl.handed) area = k + 1;
    }
  }
  ASSERT_NE(area, 0u);
  for (int d : {-1, 1}) {
    std::vector<std::string> bad = recs;
    bad[area].resize(bad[area].size() + size_t(d), 'x');
    write("BADSESS1", resummed(bad));
    refused("an area of " + std::to_string(d) + " byte");
  }
  // A class record of another number.
  std::vector<std::string> bad = recs;
  bad[saas + 1][0] = 5;
  write("BADSESS1", resummed(bad));
  refused("wrong class number");
  // The second engine: refuses, runs nothing, ends non-zero; the file stays.
  QuvoRun r = run_quvo({"-s", "BADSESS1"}, {"QUVOPATH=" + data, "QUVO_TEST_USER=ABU", "HOME=" + root});
  EXPECT_NE(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("wrong class record"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(root + "/resumed.out"));
  EXPECT_TRUE(fs::exists(sess_dir() + "/BADSESS1"));
  // The good file still resumes.
  r = run_quvo({"-s", id}, {"QUVOPATH=" + data, "QUVO_TEST_USER=ABU", "HOME=" + root});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(text_of(root + "/resumed.out"), "4242\n77\nRESTORED\n");
  EXPECT_FALSE(fs::exists(path));
  (void)good;
}

// SIGKILL at 100 random instants while suspending never leaves a partial
// file under an id: every file named by an id reads back whole.
TEST_F(Susp, AKillWhileSuspendingLeavesNoPartialFile) {
  std::ofstream(root + "/submit.sh") << "#!/bin/sh\nexit 0\n";
  std::mt19937 rng(7);
  for (int i = 0; i < 100; ++i) {
    // The delay counts from the start of the child's first suspend or of
    // its second (the first then named and whole), however long the child's
    // start and a suspend take on this machine; now and then from the fork.
    BeginPipe begins;
    uint32_t us = rng() % 3000;
    bool from_fork = rng() % 8 == 0;
    KillClock clock(us, from_fork, 1 + int(rng() % 2));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (;;) {
        begins.begun();
        Pcb* p = e.pcb("BG", 2, 6);
        pi_suspend(p);
      }
    }
    begins.kill_when_due(pid, clock);
    int st = 0;
    waitpid(pid, &st, 0);
  }
  std::set<std::string> all = ids();
  EXPECT_FALSE(all.empty());
  for (const std::string& id : all) {
    PiInvoc v;
    testing::internal::CaptureStderr();
    bool ok = pi_session_start(&v, id);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ok) << id << ": " << err;
  }
}

}  // namespace
