// The PCF verbs through real event-point code: the test application
// tests/process/pcf-app (PCA, database PCD) generated and bootstrapped, its
// Input process run by the real engine with the executor double's PCF
// script. Each event point of the process (03, 04, 05, 11) and of its
// cascade child's invocation (61, 62) writes a record to PCALOG with its
// number and a running count; the child writes 99 when it runs. The log,
// read back in write order, is the order in which the verbs ran them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "support/quvo_run.h"

namespace {

constexpr int kGood = 127;  // LOGOUT of the set-up subroutine

struct LogRec {
  uint32_t ep, seq;
  bool operator==(const LogRec&) const = default;
};
std::ostream& operator<<(std::ostream& o, const LogRec& r) { return o << r.ep << "/" << r.seq; }

// PCALOG's records in the order they were written (record-number order).
std::vector<LogRec> read_log(const std::string& var) {
  setenv("QUVOPATH", var.c_str(), 1);
  bi_init_com();
  fms_init();
  std::vector<LogRec> out;
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_DISK, 8, 0, nullptr, 0);
  INIT_DB_PATH(&f, "PCD", "PCA", "00", "PCALOG", FM_PT_DATA);
  f.stamp[0] = 0xFFFFFFFFu;
  f.stamp[1] = 0xFFFFFFFFu;
  if (FM_OPEN(&f, 0, FM_OPT_NO_STRUCT, 15, 15)) {
    FmArb* a = f.handle.get();
    // The record area in the engine's arena, as every handle's must be.
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(nullptr, 0, 0), 8));
    std::memset(buf, 0, 8);
    PROTO_FULL(a, 0, buf);
    a->op = FM_OP_FIRST;
    fm_start(a);
    a->op = 0;
    while (fm_rdnxt(a)) {
      LogRec r;
      std::memcpy(&r.ep, buf, 4);
      std::memcpy(&r.seq, buf + 4, 4);
      out.push_back(r);
    }
    FM_CLOSE(a, 0);
  }
  fm_shutdown();
  return out;
}

// Add, change a non-key field, change the key, delete, all in automatic
// mode: the event points in the verbs' order. A write runs 11, 04, 05; a
// read 03, 11; a rewrite in automatic mode no 04 or 05: 11, the child's 61
// (gathering its constraint values), 11 over the old record, 61 again, 11.
// The child runs on no rewrite, the key change's included: a compiled child
// carries no constraint values (its CHILD constraint field gives only the
// key number), so no key value of it can differ. A delete runs the
// child's 61, the child in automatic mode, 62, the record read again by its
// id (03, 11), then 05. The child's own 99 carries no count.
TEST(PcfApp, EventPointsRunInTheVerbsOrder) {
  TempDir dir;
  std::string boot = dir.sub("boot"), var = dir.sub("var");
  std::filesystem::create_directories(var);
  std::string gen = std::string(QUVOGEN_BINARY) + " " + QUVO_DATA_APPS + " " + QUVO_TEST_DIR + "/process/pcf-app " +
                    boot + " >" + dir.sub("gen.log") + " 2>&1";
  ASSERT_EQ(std::system(gen.c_str()), 0) << gen;
  std::vector<std::string> env{"QUVOPATH=" + var, "QUVO_BOOT_SRC=" + boot, "TERM=dumb"};
  QuvoRun b = run_quvo({"-b"}, env);
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  env.push_back("QUVO_BOOT_AP=PCA");
  b = run_quvo({"-b"}, env);
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  env.pop_back();
  QuvoRun s = run_quvo({"-d", "PCD", "-a", "PCA", "-t", "Subroutine", "-p", "PCA SETUP"}, env);
  ASSERT_EQ(s.status, kGood) << s.err;

  env.push_back(
      "QUVO_TEST_EXEC=2:2;2=a1@0=K001;@4=ONE       ;w|a1@0=K001;r8|a1@4=TWO       ;u|a1@0=K001;r8|a1@0=K002;u|"
      "a1@0=K002;r8|a1d");
  QuvoRun r = run_quvo({"-d", "PCD", "-a", "PCA", "-t", "Input", "-p", "PCA INPUT"}, env);
  EXPECT_EQ(r.status, 0) << r.err;
  // Every verb answered 1 ("pcf VERB ANSWER ..." on standard error).
  std::string verbs;
  for (size_t at = r.err.find("pcf "); at != std::string::npos; at = r.err.find("\npcf ", at + 1)) {
    if (r.err[at] == '\n') ++at;
    verbs += r.err.substr(at + 4, 3);
  }
  EXPECT_EQ(verbs, "w 1r 1u 1r 1u 1r 1d 1") << r.err;

  std::vector<uint32_t> eps{11, 4,  5,                 // write
                            3,  11,                    // read K001
                            11, 61, 11, 61, 11,        // rewrite, text
                            3,  11,                    // read K001
                            11, 61, 11, 61, 11,        // rewrite, key
                            3,  11,                    // read K002
                            61, 99, 62, 3,  11, 5};    // delete
  std::vector<LogRec> want;
  uint32_t n = 0;
  for (uint32_t e : eps) want.push_back({e, e == 99 ? 0 : ++n});
  EXPECT_EQ(read_log(var), want) << r.err;
}

}  // namespace
