// The modification log of Input processes (STDMLOG) on the whole engine in
// a child of the test program (fp_engine.h) over the test application IPA
// (tests/executors/ip-app): keys typed at its memory terminal add, change
// and delete customers, and "STANDARD MOD LOG" is replaced by a report that
// writes its caller's log back, record by record, for the test to compare
// byte for byte with records it builds itself.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "executors/fp_engine.h"
#include "executors/ip.h"
#include "executors/ipmlog.h"
#include "executors/mp.h"
#include "process/pcb.h"
#include "process/pipcf.h"

namespace {

// A record as a line: printable characters as they are, any other byte
// (and the backslash) as \xNN.
std::string shown(const std::string& r) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : r)
    if (c >= 0x20 && c < 0x7F && c != '\\') out += char(c);
    else out += {'\\', 'x', hex[c >> 4], hex[c & 15]};
  return out;
}

// "STANDARD MOD LOG": a line "run NAME" (the caller), then a line "rec ..."
// per record of the caller's log.
void mod_log_report(Pcb* pcb) {
  std::ofstream out(fpeng::log_path(), std::ios::app);
  auto* head = static_cast<Pcb*>(pcb->invoc.parent_pcb.get());
  out << "run " << (head ? head->invoc.name.str() : std::string("-")) << "\n";
  FmArb* log = head ? head->mod_log.get() : nullptr;
  if (log && fm_is_handle(log)) {
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), sizeof(PiModLog)));
    PROTO_FULL(log, 0, buf);
    log->op = FM_OP_FIRST;
    fm_start(log);
    log->op = 0;
    while (fm_rdnxt(log))
      out << "rec " << shown(std::string(reinterpret_cast<const char*>(buf), sizeof(PiModLog))) << "\n";
    mm_free(buf);
  }
  out.flush();
  ut_unwind(2);
}

// A STDMLOG record as the log lays it out: a head line (kind, application,
// file, key) or a field line (name, occurrence, old value, value).
std::string record(uint8_t kind, const std::string& app, const std::string& name, uint8_t occ,
                   const std::string& key, const std::string& value) {
  auto pad = [](const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); };
  std::string r(1, char(kind));
  r += pad(app, 3) + pad(name, 30) + std::string(1, char(occ)) + pad(key, 40) + pad(value, 40);
  return r;
}

class IpMlog : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = fpeng::build_app("ip-app", "IPA", "IPD", "IP SETUP");
    ASSERT_EQ(why, "");
    // An empty customer file for each case.
    QuvoRun b = run_quvo({"-d", "IPD", "-a", "IPA", "-t", "Subroutine", "-p", "IP SETUP"},
                         {"QUVOPATH=" + fpeng::var_dir(), "TERM=dumb"});
    ASSERT_EQ(b.status, 127) << b.out << b.err;
    // The changed-by date the records are stamped with.
    setenv("QUVO_FAKE_TIME", "20260304100000", 1);
    fpeng::slots = [] { proc_svc.op_exec = mod_log_report; };
  }
  void TearDown() override {
    unsetenv("QUVO_FAKE_TIME");
    fpeng::slots = nullptr;
  }
  static std::vector<std::string> proc(const char* type, const char* name) {
    return {"-d", "IPD", "-a", "IPA", "-t", type, "-p", name};
  }
  // The lines the report wrote: "run ..." and "rec ...".
  static std::vector<std::string> report(const fpeng::Result& r) {
    std::vector<std::string> out;
    for (const std::string& l : r.lines)
      if (l.rfind("run ", 0) == 0 || l.rfind("rec ", 0) == 0) out.push_back(l);
    return out;
  }
};

// The display forms of the CUSTOMER fields, written out: alpha left in its
// width, a binary of 2 bytes right in its five digits, the amount under its
// mask "ZZ,ZZ9.99-" (leading zeros and a comma before them blank, the sign
// last), a date of 0 blank; the changed-by user (none here) and date
// (QUVO_FAKE_TIME) as stamped.
std::string alpha(const std::string& v, size_t width) { return (v + std::string(width, ' ')).substr(0, width); }
std::string seq(int v) {
  std::string d = std::to_string(v);
  return std::string(5 - d.size(), ' ') + d;
}
std::string amount(long long cents) {
  bool neg = cents < 0;
  std::string d = std::to_string(neg ? -cents : cents);
  d = std::string(d.size() < 7 ? 7 - d.size() : 0, '0') + d;  // 5 integer digits, 2 decimals
  std::string ip = d.substr(0, 5), out;
  bool lead = true;
  for (size_t i = 0; i < 5; ++i) {
    if (i == 2) out += lead ? ' ' : ',';
    lead = lead && i < 4 && ip[i] == '0';
    out += lead ? ' ' : ip[i];
  }
  return out + "." + d.substr(5) + (neg ? "-" : " ");
}
// The head line and the field lines of a customer added or deleted.
std::vector<std::string> whole(uint8_t kind, const std::string& code, const std::string& name, long long cents,
                               int number) {
  std::vector<std::pair<const char*, std::string>> fields{
      {"CUS CODE", alpha(code, 6)}, {"CUS NAME", alpha(name, 20)}, {"CUS AMOUNT", amount(cents)},
      {"CUS SINCE", ""},           {"CUS SEQ", seq(number)},       {"CUS USER", ""},
      {"CUS STAMP", "2026-03-04"}};
  std::vector<std::string> out{"rec " + shown(record(kind, "IPA", "CUSTOMER", 0, code, ""))};
  for (auto& [f, v] : fields) out.push_back("rec " + shown(record(kMlogField, "", f, 0, "", v)));
  return out;
}

// Added from a menu: the head IP MLOG adds A1, its SUBPROCESS adds B2 into
// the same log and leaves with END; the head's END runs "STANDARD MOD LOG"
// once over both adds, each a head line and a line per field.
TEST_F(IpMlog, AddsOfTheHeadAndItsSubprocessGoIntoOneLogReportedOnce) {
  std::string keys = std::string("1\r") + "A1\tADA\t\x15" "12.5\r" + "B2\tBOB\t\x15" "3\r" + fpeng::kEnd +
                     fpeng::kEnd + fpeng::kEnd;
  auto r = fpeng::run(proc("Menu", "IP MLOG MENU"), nullptr, keys);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["sys_errors"], 0);
  std::vector<std::string> want{"run IP MLOG"};
  for (auto& l : whole(kMlogAdd, "A1", "ADA", 1250, 1)) want.push_back(l);
  for (auto& l : whole(kMlogAdd, "B2", "BOB", 300, 2)) want.push_back(l);
  EXPECT_EQ(report(r), want);
}

// Added, changed and deleted at the head (its SUBPROCESS, run after the add,
// leaves at once): the change is a head line and one field line, the old
// amount and the new; the delete the head line and every field.
TEST_F(IpMlog, ChangesAndDeletesAreLoggedFieldByField) {
  std::string keys = std::string("1\r") + "A1\tADA\t\x15" "12.5\r" + fpeng::kEnd +  // add; the child leaves
                     fpeng::kChangeMode + "A1\r\t\t\x15" "1234.56\r" +               // change the amount
                     fpeng::kDeleteMode + "A1\r" + fpeng::kDeleteConfirm +             // delete
                     fpeng::kEnd + fpeng::kEnd;
  auto r = fpeng::run(proc("Menu", "IP MLOG MENU"), nullptr, keys);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["sys_errors"], 0);
  std::vector<std::string> want{"run IP MLOG"};
  for (auto& l : whole(kMlogAdd, "A1", "ADA", 1250, 1)) want.push_back(l);
  want.push_back("rec " + shown(record(kMlogChg, "IPA", "CUSTOMER", 0, "A1", "")));
  want.push_back("rec " + shown(record(kMlogField, "", "CUS AMOUNT", 0, amount(1250), amount(123456))));
  for (auto& l : whole(kMlogDel, "A1", "ADA", 123456, 1)) want.push_back(l);
  EXPECT_EQ(report(r), want);
}

// CANCEL at the head ends its log as END does: the report runs once.
TEST_F(IpMlog, CancelAtTheHeadRunsTheReportToo) {
  std::string keys = std::string("1\r") + "A1\tADA\t\x15" "12.5\r" + fpeng::kEnd + "\x1b" + fpeng::kEnd;
  auto r = fpeng::run(proc("Menu", "IP MLOG MENU"), nullptr, keys);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["sys_errors"], 0);
  std::vector<std::string> want{"run IP MLOG"};
  for (auto& l : whole(kMlogAdd, "A1", "ADA", 1250, 1)) want.push_back(l);
  EXPECT_EQ(report(r), want);
}

// The same process started without a caller keeps no log: its END runs no
// report.
TEST_F(IpMlog, AProcessWithoutACallerKeepsNone) {
  std::string keys = std::string("C3\tCY\t\x15") + "1\r" + fpeng::kEnd + fpeng::kEnd;
  auto r = fpeng::run(proc("Input", "IP MLOG"), nullptr, keys);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["sys_errors"], 0);
  EXPECT_EQ(report(r), std::vector<std::string>{});
}

// The log head's rules on the real PCB of IP MLOG (OPERATIONAL PHASE 3),
// its caller played by a PCB of the test: a Menu caller makes it head a log
// of its own; the same process of a system application keeps none; called
// as a SUBPROCESS by an Input process it writes that caller's log, never
// runs the report, and at its end lets go of the log, which stays open.
void head_rules_exec(Pcb* p) {
  auto* caller = static_cast<Pcb*>(MM_ALLOC(pi_pool(), sizeof(Pcb)));
  std::memset(static_cast<void*>(caller), 0, sizeof *caller);
  caller->invoc.type = 1;
  p->invoc.parent_pcb.set(caller);
  const uint8_t kind = p->invoc.kind;
  p->invoc.kind = 0;  // a SUBPROCESS of the caller
  ip_log_head(p, true);
  fpeng::note("menu_caller_heads", ip_log_heads(p) && fm_is_handle(p->mod_log.get()));
  p->invoc.app.set("0LA");
  ip_log_head(p, true);
  fpeng::note("system_app_log", p->mod_log ? 1 : 0);
  p->invoc.app.set("IPA");
  caller->invoc.type = 2;
  caller->mod_log.reset();
  ip_log_head(p, true);
  fpeng::note("input_caller_without_log", p->mod_log ? 1 : 0);
  caller->pool_scope = p->pool_scope;
  pi_mlog_open(caller);
  ip_log_head(p, true);
  fpeng::note("shares", p->mod_log.get() == caller->mod_log.get() && !ip_log_heads(p));
  // A record in the shared log: the sharer's END still runs no report.
  auto* rec = static_cast<uint8_t*>(MM_ALLOC(pi_pool(), sizeof(PiModLog)));
  std::memset(rec, ' ', sizeof(PiModLog));
  PROTO_FULL(caller->mod_log.get(), 0, rec);
  fpeng::note("written", fm_write(caller->mod_log.get()));
  mm_free(rec);
  ip_mod_end(p);
  ip_log_release(p);
  fpeng::note("released", p->mod_log ? 0 : 1);
  fpeng::note("caller_log_open", fm_is_handle(caller->mod_log.get()));
  pi_mlog_close(caller);
  p->invoc.parent_pcb.reset();
  p->invoc.kind = kind;
  mm_free(caller);
  ut_unwind(2);
}

TEST_F(IpMlog, WhoHeadsTheLog) {
  auto r = fpeng::run(proc("Input", "IP MLOG"), head_rules_exec);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["sys_errors"], 0);
  EXPECT_EQ(r.seen["menu_caller_heads"], 1);
  EXPECT_EQ(r.seen["system_app_log"], 0);
  EXPECT_EQ(r.seen["input_caller_without_log"], 0);
  EXPECT_EQ(r.seen["shares"], 1);
  EXPECT_EQ(r.seen["written"], 1);
  EXPECT_EQ(r.seen["released"], 1);
  EXPECT_EQ(r.seen["caller_log_open"], 1);
  EXPECT_EQ(report(r), std::vector<std::string>{});
}

// A menu frame with a window of its own (IP MENU WND) has one window more
// once its frame starts than a menu without (IP MLOG MENU), and at the end
// of the process both leave the same windows behind: its own goes too.
void (*g_mp_cleanup)(Pcb*) = nullptr;
void (*g_mp_sof)(Pcb*) = nullptr;
TEST_F(IpMlog, AMenuFrameWithAWindowOfItsOwnKeepsItUntilTheMenuEnds) {
  fpeng::slots = [] {
    FpHooks h = fp_hooks(1);
    g_mp_sof = h.sof;
    h.sof = [](Pcb* p) {
      if (g_mp_sof) g_mp_sof(p);
      int srf = 0, wnd = 0, reg = 0;
      wm_counts(&srf, &wnd, &reg);
      fpeng::note("at_start", wnd);
    };
    fp_set_hooks(1, h);
    g_mp_cleanup = proc_svc.mp_cleanup;
    proc_svc.mp_cleanup = [](Pcb* p) {
      g_mp_cleanup(p);
      int srf = 0, wnd = 0, reg = 0;
      wm_counts(&srf, &wnd, &reg);
      fpeng::note("at_end", wnd);
    };
  };
  auto plain = fpeng::run(proc("Menu", "IP MLOG MENU"), nullptr, fpeng::kEnd);
  auto own = fpeng::run(proc("Menu", "IP MENU WND"), nullptr, fpeng::kEnd);
  for (auto* r : {&plain, &own}) {
    EXPECT_EQ(r->status, 0);
    EXPECT_EQ(r->seen["sys_errors"], 0);
  }
  EXPECT_EQ(own.seen["at_start"], plain.seen["at_start"] + 1);
  EXPECT_EQ(own.seen["at_end"], plain.seen["at_end"]);
}

}  // namespace
