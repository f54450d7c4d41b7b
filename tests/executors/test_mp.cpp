// The menu executor as a person sees it: the real engine runs the menus of
// the test application IPA (tests/executors/ip-app) in a private tmux
// server, TERM=xterm; the status line is the screen's row above the
// message line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "executors/ip.h"
#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "support/tmux.h"

namespace {

using tmuxrun::q;
using tmuxrun::sh;
using tmuxrun::slurp;

// CUSTOMER of the test application: code (6), name (20), amount (6 bytes
// packed), since (date, 4 bytes), sequence (2 bytes), user (3), stamp (date).
constexpr int kCusAmount = 26, kCusSince = 32, kCusSeq = 36, kCusUser = 38, kCusStamp = 41, kCusLen = 45;

class MenuRun : public tmuxrun::PaneTest {
 protected:
  static inline std::string root, data;

  static void SetUpTestSuite() {
    ASSERT_EQ(tmuxrun::make_engine_dir("quvo-mprun", &root, &data), 0);
    int rc = 0;
    sh(q(QUVOGEN_BINARY) + " " + q(QUVO_DATA_APPS) + " " + q(QUVO_TEST_DIR "/executors/ip-app") + " " +
           q(root + "/boot") + " >/dev/null 2>&1",
       &rc);
    ASSERT_EQ(rc, 0) << "quvogen";
    sh("env -i PATH=/usr/bin:/bin" + tmuxrun::sanitizer_env() + " QUVOPATH=" + q(data) + " QUVO_BOOT_SRC=" +
           q(root + "/boot") + " QUVO_BOOT_AP=IPA " + q(QUVO_BINARY) + " -b >/dev/null 2>&1",
       &rc);
    ASSERT_EQ(rc, 0) << "adding IPA";
  }
  // A new, empty customer file (its set-up ends by LOGOUT: status 127).
  void new_customers() {
    int rc = 0;
    sh("env -i PATH=/usr/bin:/bin" + tmuxrun::sanitizer_env() + " QUVOPATH=" + q(data) + " " + q(QUVO_BINARY) +
           " -d IPD -a IPA -t Subroutine -p 'IP SETUP' >/dev/null 2>&1",
       &rc);
    ASSERT_EQ(rc, 127) << "IP SETUP";
  }
  static void TearDownTestSuite() { sh("rm -rf " + q(root)); }

  void SetUp() override { open_pane(root, "quvo-mp"); }

  // Starts the menu in a pane `cols` wide with the settings `env`; true at
  // its first wait for a key.
  bool start(const std::string& proc, int cols, const std::string& env = "", bool wait = true,
             const std::string& type = "Menu") {
    run_in_pane("QUVOPATH=" + q(data) + " " + env + " " + q(QUVO_BINARY) + " -d IPD -a IPA -t " + type + " -p " +
                    q(proc),
                cols);
    return !wait || waits(1);
  }
  // Row r (1-based) of the screen, trailing blanks dropped.
  std::string row(int r) { return screen()[size_t(r - 1)]; }
};

// 80 columns: the engine's name at column 1, the mode text after it, the
// help hint ending ten columns before the right edge; END leaves (exit 0).
TEST_F(MenuRun, StatusLineShowsNameModeTextAndHelpHint) {
  ASSERT_TRUE(start("IP MENU", 80)) << slurp(dir + "/err");
  std::string want = "quvo MENU ENTRY";
  want += std::string(57 - want.size(), ' ') + "HELP for help";
  EXPECT_EQ(row(23), want);
  EXPECT_EQ(row(1), "                              Menu executor tests");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");
}

// QUVO_MSG is centred in the width.
TEST_F(MenuRun, QuvoMsgIsCentred) {
  ASSERT_TRUE(start("IP MENU", 80, "QUVO_MSG=Welcome")) << slurp(dir + "/err");
  std::string want = "quvo MENU ENTRY";
  want += std::string(36 - want.size(), ' ') + "Welcome";
  want += std::string(57 - want.size(), ' ') + "HELP for help";
  EXPECT_EQ(row(23), want);
}

// QUVO_MSG longer than the width keeps its first width characters (the
// messages stand over it).
TEST_F(MenuRun, QuvoMsgIsCutToTheWidth) {
  std::string lng;
  for (int i = 0; lng.size() < 100; ++i) lng += char('a' + i % 26);
  ASSERT_TRUE(start("IP MENU", 80, "QUVO_MSG=" + lng)) << slurp(dir + "/err");
  std::string cut = lng.substr(0, 80);
  cut.replace(0, 4, "quvo");
  cut.replace(5, 10, "MENU ENTRY");
  cut.replace(57, 13, "HELP for help");
  EXPECT_EQ(row(23), cut);
}

// A screen too narrow for both messages: the mode text stands at column 1
// and neither message is shown.
TEST_F(MenuRun, NarrowScreenPutsTheModeTextAtColumnOne) {
  ASSERT_TRUE(start("IP MENU", 30, "QUVO_MSG=narrow")) << slurp(dir + "/err");
  EXPECT_EQ(row(23), "MENU ENTRY  narrow");
}

// A menu frame that ends done (22) instead of backing out is a system
// error; continuing it ends the menu with 4, which ends a run normally.
TEST_F(MenuRun, FrameEndingDoneIsASystemError) {
  start("IP MENU22", 80, "", false);  // it never waits for a key
  for (int i = 0; i < 1500 && slurp(dir + "/err").find("C to continue") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  tmux("send-keys C Enter");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_NE(err.find("mp_exec() - unexpected completion of frame"), std::string::npos) << err;
}

}  // namespace

namespace {

// An Input process keeps a status line of its own: the mode text, and the
// mode's name at column width - 8; END leaves it for the
// caller, whose status line shows again.
TEST_F(MenuRun, InputStatusLineShowsTheModeItem) {
  ASSERT_TRUE(start("IP FORM", 80, "", true, "Input")) << slurp(dir + "/err");
  std::string want = "quvo MENU ENTRY";  // its field has no entry level
  want += std::string(57 - want.size(), ' ') + "HELP for help ADD";
  EXPECT_EQ(row(23), want);
  EXPECT_EQ(row(2), "  Note");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");
}

// The Input process's status window stands over its menu's and goes with
// it; the menu's status line is laid out again when the screen's width
// changes.
TEST_F(MenuRun, ChildStatusLineGoesAndTheLineFollowsTheWidth) {
  ASSERT_TRUE(start("IP MENU", 80)) << slurp(dir + "/err");
  std::string menu = "quvo MENU ENTRY";
  menu += std::string(57 - menu.size(), ' ') + "HELP for help";
  EXPECT_EQ(row(23), menu);
  key("2");
  key("Enter");
  EXPECT_EQ(row(2), "  Note");
  EXPECT_EQ(row(23), menu + " ADD");
  key("F3");
  EXPECT_EQ(row(1), "                              Menu executor tests");
  EXPECT_EQ(row(23), menu);
  tmux("resize-window -x 30");
  key("Enter");
  EXPECT_EQ(row(23), "MENU ENTRY");
}

// The mode item's names: the mode alone in its own phase, else the mode
// and the phase; seven characters.
TEST(IpModeName, ModeAndPhaseNames) {
  EXPECT_EQ(ip_mode_name(1, 1), "ADD    ");
  EXPECT_EQ(ip_mode_name(4, 7), "CHG    ");
  EXPECT_EQ(ip_mode_name(4, 6), "CHG/KEY");
  EXPECT_EQ(ip_mode_name(2, 2), "DEL    ");
  EXPECT_EQ(ip_mode_name(2, 6), "DEL/KEY");
  EXPECT_EQ(ip_mode_name(3, 3), "INQ    ");
  EXPECT_EQ(ip_mode_name(4, 3), "CHG/INQ");
  EXPECT_EQ(ip_mode_name(3, 5), "INQ/RDS");
}


// CUSTOMER's records in key order, as stored.
std::vector<std::vector<uint8_t>> read_customers(const std::string& data) {
  setenv("QUVOPATH", data.c_str(), 1);
  bi_init_com();
  fms_init();
  std::vector<std::vector<uint8_t>> out;
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_DISK, kCusLen, 0, nullptr, 0);
  INIT_DB_PATH(&f, "IPD", "IPA", "00", "CUSTOMER", FM_PT_DATA);
  f.stamp[0] = 0xFFFFFFFFu;
  f.stamp[1] = 0xFFFFFFFFu;
  if (FM_OPEN(&f, 0, FM_OPT_NO_STRUCT, 15, 15)) {
    FmArb* a = f.handle.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(nullptr, 0, 0), kCusLen));
    std::memset(buf, 0, kCusLen);
    PROTO_FULL(a, 0, buf);
    a->op = FM_OP_FIRST;
    fm_start(a);
    a->op = 0;
    while (fm_rdnxt(a)) out.emplace_back(buf, buf + kCusLen);
    FM_CLOSE(a, 0);
  }
  fm_shutdown();
  return out;
}

// An Input process with a file of its own adds records in Add mode: each
// customer entered and ENTER writes a record numbered by its sequence field
// (1, then 2), and the screen is ready for the next one in Add mode.
TEST_F(MenuRun, AddModeWritesRecordsWithTheNextSequenceNumbers) {
  new_customers();
  ASSERT_TRUE(start("IP CUSTOMER", 80, "", true, "Input")) << slurp(dir + "/err");
  for (std::string code : {"A1", "B2"}) {
    for (char c : code) key(std::string(1, c));
    key("Tab");
    key("N");
    key("Tab");
    key("Tab");
    for (char c : std::string("2026-01-31")) key(std::string(1, c));
    key("Enter");
  }
  EXPECT_EQ(row(23).substr(71), "ADD");
  EXPECT_EQ(row(2), "  Code");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");
  auto recs = read_customers(data);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(std::string(recs[0].begin(), recs[0].begin() + 6), "A1    ");
  EXPECT_EQ(std::string(recs[1].begin(), recs[1].begin() + 6), "B2    ");
  EXPECT_EQ(recs[0][kCusSeq] | recs[0][kCusSeq + 1] << 8, 1);
  EXPECT_EQ(recs[1][kCusSeq] | recs[1][kCusSeq + 1] << 8, 2);
}

}  // namespace
