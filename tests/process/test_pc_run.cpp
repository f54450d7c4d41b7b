// The compiler end to end: the real engine in tmux on a bootstrapped data
// directory to which the test application "ABC" was added with statements
// written as statement text. The engine compiles on the first run, saves the
// module, loads it on the next, and recompiles after the definition changed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "design/se.h"
#include "design/sefile.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/pc.h"
#include "process/piexec.h"
#include "process/pishr.h"
#include "abc_run.h"
#include "pc_fixture.h"
#include "pl_fixture.h"
#include "support/tmux.h"

using namespace pltest;
using namespace tmuxrun;

namespace {

class PcRun : public AbcRun {
 protected:
  PcRun() : AbcRun("pc") {}

  // Stores statement text and a PROCESS record (stamp `changed`) of each
  // process it names.
  void define(const std::string& text, const char* changed) {
    Engine e;
    e.dir = data;
    e.start(false);
    SeFileResult r;
    ASSERT_EQ(se_read_file("run.stmt", text, nullptr, &r), 0);
    // New statements are added, edited ones (same key) rewritten.
    for (const DStmt& st : r.stmts) {
      fx::Rec one(reinterpret_cast<const uint8_t*>(&st), reinterpret_cast<const uint8_t*>(&st) + sizeof st);
      if (pltest::rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DSTMT_FDB(f, k, s, "ABC", "00"); }, one)) continue;
      std::vector<std::string> errs;
      ASSERT_EQ(se_store_dict("ABC", "00", nullptr, {st}, &errs), 1);
    }
    fx::Rec p = proc_rec("SUB", 6, "1", 50, changed, "2026-01-01T00:00:01");
    if (!pltest::rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DPROC_FDB(f, k, s, "ABC", "00"); }, p)) {
      ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {p}), 1);
    }
    if (text.find(" BAD\n") != std::string::npos) {
      ASSERT_EQ(fx::write("PROCESS", "ABC", "00",
                          {proc_rec("BAD", 6, "1", 50, "2026-01-01T00:00:02", "2026-01-01T00:00:02")}),
                1);
    }
    e.stop(false);
  }

  Result run(const std::string& args, const std::string& env = "QUVO_TEST_USER=ABU") {
    return run_abc(env, args);
  }
  int saved_modules() {
    return std::atoi(sh("find " + q(data + "/mod") + " -type f 2>/dev/null | wc -l").c_str());
  }
};

std::string line(const char* tf, const char* verb, const std::string& ops = "") {
  char b[128];
  std::snprintf(b, sizeof b, "%-5.5s %-8.8s %s", tf, verb, ops.c_str());
  return b;
}

// Process SUB whose event point 1 only ends.
std::string sub_ending() { return "process 6 SUB\nstatements 1\n" + line("", "END PROC") + "\n"; }

TEST_F(PcRun, CompilesSavesAndRecompilesAChangedDefinition) {
  define("process 6 SUB\nstatements 1\n" + line("", "LOGOUT", "SYSTEM? N") + "\n" +
             "process 6 BAD\nstatements 1\n" + line("", "GOTO", "NOWHERE") + "\n" + line("", "CALC", "A  = 1 +") + "\n",
         "2026-01-01T00:00:01");
  Result r = run("-d DB1 -a ABC -t Subroutine -p SUB");
  EXPECT_EQ(r.status, 127) << r.err;
  EXPECT_GE(saved_modules(), 1);
  // The next run loads the saved module: the same path.
  r = run("-d DB1 -a ABC -t Subroutine -p SUB");
  EXPECT_EQ(r.status, 127) << r.err;
  // The statements edited and stored again, with a new definition stamp:
  // compiled again, the other path.
  define(sub_ending(), "2026-03-03T00:00:00");
  r = run("-d DB1 -a ABC -t Subroutine -p SUB");
  EXPECT_EQ(r.status, 0) << r.err;
  // A process with errors: each one on standard error with its text and
  // statement.
  r = run("-d DB1 -a ABC -t Subroutine -p BAD");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("100940"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Label is not defined"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("GOTO     NOWHERE"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("101060"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 4);
}

// The data areas a compiled module gives every process, over the "0LA"
// dictionary the bootstrap built from the sources: PDF0, PDF2-PDF7 in that
// order, each its record then its control area, then the sub-areas of
// DEFAULT MODE, USER ID and PROCESS CODE; each record area has the size of
// the engine's record of that data area.
TEST_F(PcRun, ThePredefinedFieldFilesAreDataAreas1To17StartingAsTheirInitialImages) {
  define(sub_ending(), "2026-01-01T00:00:01");
  Engine e;
  e.dir = data;
  e.start(false);
  ii_families_register();
  ASSERT_TRUE(compilers_on());
  Pcb* p = e.pcb("SUB", 2, 6);
  ASSERT_EQ(pl_get(p, 0), 1) << p->invoc.completion;
  EmHeader* em = p->module.get();
  ASSERT_GE(em->n_areas, 17u);
  auto* t = reinterpret_cast<EmAreaEntry*>(em->area_table.get());
  auto by_index = [&](uint32_t ix) -> const EmAreaEntry* {
    for (uint32_t i = 0; i <= em->n_areas; ++i)
      if (t[i].index == ix) return &t[i];
    return nullptr;
  };
  for (const PdFile& pf : kPdFiles) {
    SCOPED_TRACE(pf.file);
    const EmAreaEntry* r = by_index(pf.area);
    const EmAreaEntry* c = by_index(pf.area + 1);
    ASSERT_NE(r, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(r->app == "0LA");
    EXPECT_EQ(int(r->kind), 0);
    EXPECT_EQ(r->sub, 0u);
    EXPECT_EQ(r->size, pf.size);
    EXPECT_TRUE(c->app == "0LA");
    EXPECT_EQ(int(c->kind), 1);
    EXPECT_EQ(c->size, 44u);
  }
  struct Sub {
    uint32_t area;
    uint32_t rec_area, off, size;
  };
  for (Sub s : {Sub{kPdAreaDefaultMode, 3, offsetof(PdArea3, default_mode), 1},
                Sub{kPdAreaUserId, 5, offsetof(PdArea5, user), 3},
                Sub{kPdAreaProcessCode, 13, offsetof(PdArea13, code), 4}}) {
    const EmAreaEntry* a = by_index(s.area);
    const EmAreaEntry* r = by_index(s.rec_area);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(a->number, r->number);
    EXPECT_EQ(a->aclass, r->aclass);
    EXPECT_EQ(a->sub, s.off);
    EXPECT_EQ(a->size, s.size);
  }
  // A new area of a file's record starts as the file's INITIAL image.
  const EmAreaEntry* st = by_index(7);
  ASSERT_NE(st, nullptr);
  std::vector<uint8_t> area(st->size, 0xAA);
  init_area(area.data(), p, *st);
  const auto& status = rec::view<PdStatus>(area.data());
  EXPECT_EQ(status.option.get(), 65535);
  EXPECT_EQ(status.errors.get(), 0u);
  EXPECT_TRUE(status.include_record == "1");
  EXPECT_TRUE(status.next_app.blank());
  const EmAreaEntry* where = by_index(9);
  ASSERT_NE(where, nullptr);
  std::vector<uint8_t> a9(where->size, 0xAA);
  init_area(a9.data(), p, *where);
  EXPECT_EQ(int(rec::view<PdArea9>(a9.data()).db_opts), 2);
  // The control areas are zero.
  const EmAreaEntry* ctl = by_index(8);
  std::vector<uint8_t> c8(ctl->size, 0xAA);
  init_area(c8.data(), p, *ctl);
  EXPECT_EQ(c8, std::vector<uint8_t>(ctl->size, 0));
  pl_release(p);
  em_set_compiler(nullptr);
  pc_set_stmt_compiler(nullptr);
  e.stop(false);
}

// A run of a process compiled over the bootstrapped dictionary: its data
// areas hold the process identification, the user, the database and the
// application in use when event point 01 runs.
std::vector<uint8_t> g_seen[14];
TEST_F(PcRun, AStartingProcessFindsItsPredefinedFieldsFilled) {
  define(sub_ending(), "2026-01-01T00:00:01");
  Engine e;
  e.dir = data;
  e.start(false);
  ii_families_register();
  ASSERT_TRUE(compilers_on());
  com.user_id.set("ABU");
  com.startup_db.clear();
  ASSERT_EQ(pi_init(), 1);
  proc_exec_log_clear();
  for (auto& v : g_seen) v.clear();
  proc_svc.ii_proc_exec = [](void* arg) {
    auto* a = static_cast<PiEpArg*>(arg);
    if (a->event_point == 1)
      for (uint32_t n : {5u, 7u, 9u, 11u, 13u}) {
        const EmAreaEntry* t = reinterpret_cast<EmAreaEntry*>(a->pcb->module->area_table.get());
        for (uint32_t i = 0; i <= a->pcb->module->n_areas; ++i)
          if (t[i].index == n) {
            const uint8_t* p = a->pcb->area_addr.get()[n].get();
            g_seen[n].assign(p, p + t[i].size);
          }
      }
    a->result = 1;
  };
  EXPECT_EQ(pi_run("SUB"), 2);
  ASSERT_EQ(g_seen[13].size(), sizeof(PdArea13));
  const auto& id = rec::view<PdArea13>(g_seen[13].data());
  EXPECT_TRUE(id.app == "ABC");
  EXPECT_TRUE(id.ver == "00");
  EXPECT_EQ(int(id.type), 6);
  EXPECT_EQ(id.name.str(), "SUB");
  ASSERT_EQ(g_seen[5].size(), sizeof(PdArea5));
  const auto& user = rec::view<PdArea5>(g_seen[5].data());
  EXPECT_TRUE(user.user == "ABU");
  EXPECT_TRUE(user.db == "DB1");
  ASSERT_EQ(g_seen[9].size(), sizeof(PdArea9));
  const auto& where = rec::view<PdArea9>(g_seen[9].data());
  EXPECT_TRUE(where.cur_db == "DB1");
  EXPECT_EQ(int(where.db_opts), 2);  // no DBXAP record
  ASSERT_EQ(g_seen[11].size(), sizeof(PdArea11));
  const auto& phase = rec::view<PdArea11>(g_seen[11].data());
  EXPECT_TRUE(phase.app == "ABC");
  EXPECT_TRUE(phase.ver == "00");
  ASSERT_EQ(g_seen[7].size(), sizeof(PdStatus));
  EXPECT_EQ(rec::view<PdStatus>(g_seen[7].data()).option.get(), 65535);
  int dflt = 0;
  for (auto& c : proc_exec_log()) dflt += std::string(c.what) == "rt_dflt_disp";
  EXPECT_EQ(dflt, 1);  // a DETACHED run's print options
  EXPECT_EQ(pi_pcb_count(), 0u);
  pi_init();
  proc_services_reset();
  em_set_compiler(nullptr);
  pc_set_stmt_compiler(nullptr);
  e.stop(false);
}

}  // namespace
