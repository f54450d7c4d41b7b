// The process runner's fixture: the signed-on user "USR" in database "DB1"
// of "ABC" 00, an event point double that logs, runs hooks in and unwinds
// from event points, an executor double that runs nested invocations, and
// helpers that define, run and refer to processes of "ABC".
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "language/ii.h"
#include "pl_fixture.h"
#include "process/piexec.h"
#include "process/pishr.h"

namespace pitest {

using namespace pltest;

// ---------------------------------------------------- event point double --
struct Eps {
  std::vector<std::string> log;                    // "NAME:ep"
  std::map<std::string, int> code;                 // "NAME:ep" -> unwind code
  std::function<void(Pcb*, int)> hook;             // runs inside the event point
};
inline Eps g_eps;

inline void ep_double(void* arg) {
  auto* a = static_cast<PiEpArg*>(arg);
  std::string k = a->pcb->invoc.name.str() + ":" + std::to_string(a->event_point);
  g_eps.log.push_back(k);
  if (g_eps.hook) g_eps.hook(a->pcb, a->event_point);
  auto it = g_eps.code.find(k);
  if (it != g_eps.code.end() && it->second) ut_unwind(it->second);
  a->result = 1;
}

// An executor of type 4 that runs a callback (nested invocations).
inline std::function<void(Pcb*)> g_ap;
inline void ap_double(Pcb* p) {
  if (g_ap) g_ap(p);
  ut_unwind(2);
}

class PiFix : public ::testing::Test {
 protected:
  Engine e;
  void SetUp() override {
    descs().clear();
    g_eps = Eps{};
    g_ap = nullptr;
    e.start();
    e.dictionary();
    proc_svc.ii_proc_exec = ep_double;
    proc_exec_log_clear();
    proc_exec_script_clear();
    // The signed-on user works in database "DB1" of "ABC" 00.
    ASSERT_EQ(fx::write("USER", nullptr, nullptr, {user_rec("")}), 1);
    fx::Rec d = fx::rec("DATABASE", {{"id", "DB1"}, {"app", "ABC"}, {"ver", "00"}});
    ASSERT_EQ(fx::write("DATABASE", nullptr, nullptr, {d}), 1);
    pi_getters_reset();
    ASSERT_EQ(pi_init(), 1);
  }
  static fx::Rec user_rec(const char* profile) {
    auto u = fx::user("USR");
    rec::view<DUser>(u.data()).profile.set(profile);
    rec::view<DUser>(u.data()).db.set("DB1");
    return u;
  }
  void TearDown() override {
    pi_init();  // discards anything left
    proc_exec_script_clear();
    e.stop();
    descs().clear();
  }
  void define(std::vector<std::pair<std::string, int>> procs, std::map<std::string, std::string> more = {}) {
    std::vector<fx::Rec> recs;
    for (auto& [n, t] : procs) {
      fx::Rec r = proc_rec(n, t, "0");
      if (more.count(n)) {
        auto& d = rec::view<DProc>(r.data());
        d.secr[0].set(more[n]);
      }
      recs.push_back(r);
      descs()[n] = Desc{{1}, {}, {}, false};
    }
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", recs), int(recs.size()));
  }
  // Runs an Action `name` whose executor calls `ap` (nested invocations).
  static int run_ap(const char* name, std::function<void(Pcb*)> ap) {
    g_ap = std::move(ap);
    proc_svc.ap_exec = ap_double;
    PiInvoc v = abc_invoc(name, 4);
    return pi_run(&v);
  }
  // Runs `name` under `parent` and gives its completion code.
  static int child(Pcb* parent, const char* name, int type, int kind = 0, bool independent = false,
                   int caller_mode = 0) {
    PiInvoc k = abc_invoc(name, type, kind, parent);
    k.independent = uint8_t(independent);
    k.caller_mode = uint8_t(caller_mode);
    pi_exec(&k);
    return k.completion;
  }
  // Signs the user on with profile `name`, whose bit map has only `bits` set.
  void use_profile(const char* name, std::initializer_list<int> bits = {}) {
    ASSERT_TRUE(rewrite(INIT_DUSR_FDB, user_rec(name)));
    fx::Rec prof = fx::rec("PROFILE", {{"name", name}});
    auto& d = rec::view<DProfile>(prof.data());
    d.bits.zero();
    for (int b : bits) d.bits.b[b / 8] = uint8_t(d.bits.b[b / 8] | 1 << (b % 8));
    ASSERT_EQ(fx::write("PROFILE", nullptr, nullptr, {prof}), 1);
    pi_getters_reset();
    pi_getx_reset();
  }
  // A 16-byte data file "ABC" 00 `name`.
  static FmFdb data_fdb(const char* name) {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, 16, 0, nullptr, 0);
    f.app.set("ABC");
    f.ver.set("00");
    f.name.set(name);
    f.path_type = FM_PT_DATA;
    return f;
  }
  // Gives the cached module of `name` a reference to `fdb` as its file 1,
  // which must be opened; `more` completes the record or the module.
  void add_cfi(const char* name, int type, const FmFdb& fdb, std::function<void(EmCfi*, EmHeader*)> more = nullptr) {
    Pcb* probe = e.pcb(name, 2, type);
    ASSERT_EQ(pl_get(probe, 1), 1);
    EmHeader* em = probe->module.get();
    auto* r = static_cast<EmCfi*>(MM_ALLOC(e.pool, sizeof(EmCfi)));
    std::memset(static_cast<void*>(r), 0, sizeof *r);
    r->fdb = fdb;
    r->file_no = 1;
    r->use = 1;
    r->one = 1;
    if (more) more(r, em);
    PROTO_FULL(em->cfi.get(), 0, reinterpret_cast<uint8_t*>(r));
    ASSERT_EQ(fm_write(em->cfi.get()), 1);
    pl_release(probe);
  }
  static int count(const char* what) {
    int n = 0;
    for (auto& c : proc_exec_log())
      if (std::string(c.what) == what) ++n;
    return n;
  }
};

}  // namespace pitest
