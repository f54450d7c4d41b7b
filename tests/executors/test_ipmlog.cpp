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
#include "process/pcb.h"
#include "process/pipcf.h"

namespace {

// "STANDARD MOD LOG": a line "run NAME" (the caller), then a line "rec HEX"
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
    while (fm_rdnxt(log)) {
      static const char* hex = "0123456789abcdef";
      std::string h;
      for (size_t i = 0; i < sizeof(PiModLog); ++i) h += {hex[buf[i] >> 4], hex[buf[i] & 15]};
      out << "rec " << h << "\n";
    }
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
std::string hex_of(const std::string& r) {
  static const char* hex = "0123456789abcdef";
  std::string h;
  for (unsigned char c : r) h += {hex[c >> 4], hex[c & 15]};
  return h;
}

class IpMlog : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = fpeng::build_app("ip-app", "IPA", "IPD", "IP SETUP");
    ASSERT_EQ(why, "");
    fpeng::registers = ip_register;
    fpeng::slots = [] { proc_svc.op_exec = mod_log_report; };
  }
  void TearDown() override {
    fpeng::registers = nullptr;
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

// Added from a menu: the head IP MLOG adds ADA (1), its SUBPROCESS adds BOB
// (2) into the same log and leaves with END; the head's END runs "STANDARD
// MOD LOG" once over both adds, each a head line and a line per field.
TEST_F(IpMlog, AddsOfTheHeadAndItsSubprocessGoIntoOneLogReportedOnce) {
  std::string keys = std::string("1\r") + "ADA\r" + "BOB\r" + fpeng::kEnd + fpeng::kEnd + fpeng::kEnd;
  auto r = fpeng::run(proc("Menu", "IP MLOG MENU"), nullptr, keys);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["sys_errors"], 0);
  std::vector<std::string> want{"run IP MLOG"};
  // A binary of 2 bytes shows right-aligned in its five digits.
  for (auto [seq, name] : {std::pair<const char*, const char*>{"    1", "ADA"}, {"    2", "BOB"}}) {
    want.push_back("rec " + hex_of(record(kMlogAdd, "IPA", "IPCUST", 0, seq, "")));
    want.push_back("rec " + hex_of(record(kMlogField, "", "CUS SEQ", 0, "", seq)));
    want.push_back("rec " + hex_of(record(kMlogField, "", "CUS NAME", 0, "", name)));
  }
  EXPECT_EQ(report(r), want);
}

}  // namespace
