// The menu executor as a person sees it: the real engine runs the menus of
// the test application IPA (tests/executors/ip-app) in a private tmux
// server, TERM=xterm; the status line is the screen's row above the
// message line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "executors/ip.h"
#include "executors/mp.h"
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
constexpr int kCusAmount = 26, kCusSince = 32, kCusSeq = 36, kCusStamp = 41, kCusLen = 45;

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

// 80 columns: the engine's name at column 1, the mode text after it, and
// no help hint (a menu has no field to ask HELP on; HELP there is not
// available); END leaves (exit 0).
TEST_F(MenuRun, StatusLineShowsNameAndModeText) {
  ASSERT_TRUE(start("IP MENU", 80)) << slurp(dir + "/err");
  EXPECT_EQ(row(23), "quvo MENU ENTRY");
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
  EXPECT_EQ(row(23), cut);
}

// A screen too narrow for both messages: the mode text stands at column 1
// and neither message is shown.
TEST_F(MenuRun, NarrowScreenPutsTheModeTextAtColumnOne) {
  ASSERT_TRUE(start("IP MENU", 30, "QUVO_MSG=narrow")) << slurp(dir + "/err");
  EXPECT_EQ(row(23), "MENU ENTRY  narrow");
}

// A terminal wider than 80 columns: the menu and the Input process it runs
// show their status lines across the whole width.
TEST_F(MenuRun, AWideScreenShowsTheMenuAndItsInputProcess) {
  ASSERT_TRUE(start("IP MENU", 120)) << slurp(dir + "/err");
  std::string menu = "quvo MENU ENTRY";
  EXPECT_EQ(row(23), menu);
  key("2");
  key("Enter");
  EXPECT_EQ(row(2), "  Note");
  EXPECT_EQ(row(23), menu + std::string(97 - menu.size(), ' ') + "HELP for help ADD");
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
  EXPECT_EQ(row(23), menu);
  key("2");
  key("Enter");
  EXPECT_EQ(row(2), "  Note");
  EXPECT_EQ(row(23), menu + std::string(57 - menu.size(), ' ') + "HELP for help ADD");
  key("F3");
  EXPECT_EQ(row(1), "                              Menu executor tests");
  EXPECT_EQ(row(23), menu);
  tmux("resize-window -x 30");
  key("Enter");
  EXPECT_EQ(row(23), "MENU ENTRY");
}

// A resize during a wait lays the status line out again at once, before
// any key: the help hint and the mode item move to the new right edge, and
// go where the width no longer holds them.
TEST_F(MenuRun, AResizeRedrawsTheStatusLineBeforeAnyKey) {
  ASSERT_TRUE(start("IP FORM", 80, "", true, "Input")) << slurp(dir + "/err");
  const std::string mode = "quvo MENU ENTRY";
  EXPECT_EQ(row(23), mode + std::string(57 - mode.size(), ' ') + "HELP for help ADD");
  int before = waits_seen();
  tmux("resize-window -x 100");
  ASSERT_TRUE(waits(before + 1));
  EXPECT_EQ(row(23), mode + std::string(77 - mode.size(), ' ') + "HELP for help ADD");
  before = waits_seen();
  tmux("resize-window -x 30");
  ASSERT_TRUE(waits(before + 1));
  EXPECT_EQ(row(23), "MENU ENTRY" + std::string(12, ' ') + "ADD");   // the mode item at width - 7
}

// Terminals narrower than the status items: the Input process's mode item
// (seven columns) at column 1 on seven, and following its mode; on six it
// and on nine the menu's mode text (ten) are not shown, and neither is an
// error. Wide again, both lines are whole.
TEST_F(MenuRun, NarrowerThanTheStatusItemsIsNoError) {
  new_customers();
  ASSERT_TRUE(start("IP MENU", 80)) << slurp(dir + "/err");
  option(1);
  auto resize = [&](int cols) {
    int before = waits_seen();
    tmux("resize-window -x " + std::to_string(cols));
    ASSERT_TRUE(waits(before + 1)) << cols << ": " << slurp(dir + "/err");
  };
  resize(7);
  EXPECT_EQ(row(23), "ADD");
  key("F8");
  EXPECT_EQ(row(23), "CHG/KEY");
  resize(6);
  EXPECT_EQ(row(23), "");
  key("F3");
  resize(9);
  EXPECT_EQ(row(23), "");
  resize(80);
  EXPECT_EQ(row(23), "quvo MENU ENTRY");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");
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
  // No mode yet (0, as the process starts) or one past the table: no name.
  EXPECT_EQ(ip_mode_name(0, 3), "       ");
  EXPECT_EQ(ip_mode_name(5, 3), "       ");
}

// The status line at the narrowest width that holds both messages (39
// columns: the engine's name, the mode text, the help hint ending ten
// columns before the edge and the mode item) and one column less, where
// the mode text stands at column 1 alone.
TEST(MpStatLayout, BothMessagesFitFromThirtyNineColumns) {
  MpStatLayout at = mp_stat_layout(39, "", true);
  EXPECT_TRUE(at.fits);
  EXPECT_EQ(at.mode_col, 6);
  EXPECT_EQ(at.text, "quvo" + std::string(12, ' ') + "HELP for help" + std::string(10, ' '));
  MpStatLayout past = mp_stat_layout(38, "", true);
  EXPECT_FALSE(past.fits);
  EXPECT_EQ(past.mode_col, 1);
  EXPECT_EQ(past.text, std::string(38, ' '));
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

namespace {

// The bytes a customer record should hold, built without the engine: text
// fields blank-filled, the amount as packed decimal digits with sign
// nibble C, dates as the day number from 0001-01-01 (day 1), little-endian.
// The engine's user has no USER record here: its id, the changed-by stamp,
// is blank; the date stamp is the day the record was last written.
struct Cust {
  std::string code, name;
  int64_t cents;
  std::chrono::year_month_day since;
  uint16_t seq;
  std::chrono::year_month_day stamp;
};
void put_le(std::vector<uint8_t>& r, size_t at, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) r[at + size_t(i)] = uint8_t(v >> (8 * i));
}
uint32_t day_number(std::chrono::year_month_day d) {
  using namespace std::chrono;
  return uint32_t((sys_days(d) - sys_days(year(1) / January / 1)).count() + 1);
}
std::vector<uint8_t> cust_bytes(const Cust& c) {
  std::vector<uint8_t> r(kCusLen, ' ');
  std::memcpy(r.data(), c.code.data(), c.code.size());
  std::memcpy(r.data() + 6, c.name.data(), c.name.size());
  // 11 digits and the sign in six bytes, the last digit beside the sign.
  uint64_t v = uint64_t(c.cents < 0 ? -c.cents : c.cents);
  uint8_t nib[12];
  nib[11] = c.cents < 0 ? 0xD : 0xC;
  for (int i = 10; i >= 0; --i, v /= 10) nib[i] = uint8_t(v % 10);
  for (int i = 0; i < 6; ++i) r[size_t(kCusAmount + i)] = uint8_t(nib[2 * i] << 4 | nib[2 * i + 1]);
  put_le(r, kCusSince, day_number(c.since), 4);
  put_le(r, kCusSeq, c.seq, 2);
  put_le(r, kCusStamp, day_number(c.stamp), 4);
  return r;
}

std::string hex(const std::vector<uint8_t>& b) {
  std::string s;
  char t[4];
  for (uint8_t c : b) {
    std::snprintf(t, sizeof t, "%02x ", c);
    s += t;
  }
  return s;
}

class InputRun : public MenuRun {
 protected:
  // Types a text into the field under the cursor, a key a character.
  void type(const std::string& s) {
    for (char c : s) key(c == ' ' ? "Space" : std::string(1, c));
  }
  // A new customer in Add mode: code, name, amount (the field cleared
  // first), date, ENTER.
  void add(const std::string& code, const std::string& name, const std::string& amount, const std::string& since) {
    type(code);
    key("Tab");
    type(name);
    key("Tab");
    key("C-u");
    type(amount);
    key("Tab");
    type(since);
    key("Enter");
  }
  std::string mode_item() { return row(23).size() > 71 ? row(23).substr(71) : ""; }
};

// The first user scenario: the menu, three customers added (numbered 1, 2,
// 3), one changed, one deleted after its confirmation, a read past the end
// of the file, END twice. The file is then sound and holds exactly the
// expected records, byte for byte.
TEST_F(InputRun, FirstUserScenario) {
  using namespace std::chrono;
  new_customers();
  ASSERT_TRUE(start("IP MENU", 80, "QUVO_FAKE_TIME=20260304100000")) << slurp(dir + "/err");
  EXPECT_EQ(row(23).substr(0, 15), "quvo MENU ENTRY");
  option(1);
  EXPECT_EQ(mode_item(), "ADD");
  EXPECT_EQ(row(6), "  Number      1");
  add("A1", "ADA", "12.50", "2026-01-31");
  EXPECT_EQ(row(6), "  Number      2");
  add("B2", "BOB", "7", "2025-12-01");
  EXPECT_EQ(row(6), "  Number      3");
  add("C3", "CID", "-3.05", "2024-02-29");
  EXPECT_EQ(row(6), "  Number      4");
  EXPECT_EQ(row(2), "  Code");
  // Change B2's amount.
  key("F8");
  EXPECT_EQ(mode_item(), "CHG/KEY");
  type("B2");
  key("Enter");
  EXPECT_EQ(mode_item(), "CHG");
  EXPECT_EQ(row(3), "  Name    BOB");
  EXPECT_EQ(row(4), "  Amount       7.00");
  key("Tab");
  key("Tab");
  key("C-u");
  type("1234.56");
  key("Enter");
  EXPECT_EQ(mode_item(), "CHG/KEY");
  // Delete C3: shown with 300650, deleted by DELETE.
  key("F6");
  EXPECT_EQ(mode_item(), "DEL/KEY");
  // A code no record has: the message, and the code stays as typed.
  type("Z9");
  key("Enter");
  EXPECT_NE(row(24).find("Record not found"), std::string::npos) << row(24);
  EXPECT_EQ(mode_item(), "DEL/KEY");
  EXPECT_EQ(row(2), "  Code    Z9");
  EXPECT_EQ(row(3), "  Name");
  key("C-u");
  type("C3");
  key("Enter");
  EXPECT_EQ(mode_item(), "DEL");
  EXPECT_EQ(row(2), "  Code    C3");
  EXPECT_NE(row(24).find("Press DELETE CONFIRM to delete this record"), std::string::npos) << row(24);
  key("S-F4");
  EXPECT_EQ(mode_item(), "DEL/KEY");
  // B2 is now the last record: reading past it gives 300670.
  key("F7");
  type("B2");
  key("Enter");
  EXPECT_EQ(mode_item(), "INQ");
  key("C-n");
  EXPECT_NE(row(24).find("End of file"), std::string::npos) << row(24);
  EXPECT_EQ(mode_item(), "INQ/KEY");
  key("F3");
  EXPECT_EQ(row(23).substr(0, 15), "quvo MENU ENTRY");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");
  int rc = 0;
  std::string fv = sh("env -i PATH=/usr/bin:/bin QUVOPATH=" + q(data) + " " + q(QUVO_USER_BINARY) + " -fv " +
                          q(data + "/data/IPD/IPA00/CUSTOMER") + " 2>&1",
                      &rc);
  EXPECT_EQ(rc, 0) << fv;
  auto recs = read_customers(data);
  ASSERT_EQ(recs.size(), 2u);
  const year_month_day today = year(2026) / March / 4;  // QUVO_FAKE_TIME
  EXPECT_EQ(hex(recs[0]), hex(cust_bytes({"A1", "ADA", 1250, year(2026) / January / 31, 1, today})));
  EXPECT_EQ(hex(recs[1]), hex(cust_bytes({"B2", "BOB", 123456, year(2025) / December / 1, 2, today})));
}

// Order lines (a key of two segments: the order, then the line number that
// Add gives) in Inquire: ENTER on an empty key shows the first line in the
// key's order, and an order alone (B1, after A1 and A2) the first of its
// lines. IP LINES EXACT
// over the same lines starts, as its definition says, in Inquire on the
// first line and reads the next at each ENTER, and asks for the exact key:
// neither an empty key nor an order alone finds a line; nor does CANCEL end
// it, as it ends IP LINES.
TEST_F(InputRun, InquireReadsFromTheEnteredLeadingPartOfTheKeyUnlessTheExactKeyIsRequired) {
  new_customers();
  ASSERT_TRUE(start("IP LINES", 80, "", true, "Input")) << slurp(dir + "/err");
  EXPECT_EQ(mode_item(), "ADD");
  for (auto [order, text] : {std::pair{"B1", "bone"}, {"A1", "aone"}, {"A2", "atwo"}}) {
    type(order);
    key("Tab");
    type(text);
    key("Enter");
  }
  const std::string a1 = "  Order   A1    Line   1   Text aone", a2 = "  Order   A2    Line   1   Text atwo",
                    b1 = "  Order   B1    Line   1   Text bone";
  key("F7");
  EXPECT_EQ(mode_item(), "INQ/KEY");
  key("Enter");
  EXPECT_EQ(mode_item(), "INQ");
  EXPECT_EQ(row(1), a1);
  key("F7");
  type("B1");
  key("Enter");
  EXPECT_EQ(mode_item(), "INQ");
  EXPECT_EQ(row(1), b1);
  EXPECT_EQ(row(24), "");
  tmux("send-keys C-c");  // CANCEL OK as the predefined field starts: '1'
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");

  ASSERT_TRUE(start("IP LINES EXACT", 80, "", true, "Input")) << slurp(dir + "/err");
  EXPECT_EQ(mode_item(), "INQ");
  EXPECT_EQ(row(1), a1);
  key("Enter");
  EXPECT_EQ(row(1), a2);
  key("F7");
  EXPECT_EQ(mode_item(), "INQ/KEY");
  key("Enter");
  EXPECT_NE(row(24).find("Record not found"), std::string::npos) << row(24);
  EXPECT_EQ(mode_item(), "INQ/KEY");
  key("C-u");
  type("B1");
  key("Enter");
  EXPECT_NE(row(24).find("Record not found"), std::string::npos) << row(24);
  EXPECT_EQ(row(1).substr(0, 12), "  Order   B1");
  key("C-c");  // its definition takes CANCEL away
  EXPECT_EQ(row(1).substr(0, 12), "  Order   B1");
  EXPECT_EQ(mode_item(), "INQ/KEY");
  tmux("send-keys F3");
  EXPECT_EQ(ended(&err), 0);
  EXPECT_EQ(err, "");
}

}  // namespace

namespace {

// Two terminals on one data directory: sessions of the test's tmux server,
// each with its own wait log, standard error and exit status.
class TwoUsers : public InputRun {
 protected:
  struct Term {
    std::string session, log, err, rc;
  };
  Term open(const std::string& session) {
    Term t{session, dir + "/" + session + ".log", dir + "/" + session + ".err", dir + "/" + session + ".rc"};
    std::string line = "env -i PATH=/usr/bin:/bin HOME=" + q(dir) + " TERM=xterm LANG=C.UTF-8 QUVO_WM_LOG=" +
                       q(t.log) + tmuxrun::sanitizer_env() + " QUVOPATH=" + q(data) + " " + q(QUVO_BINARY) +
                       " -d IPD -a IPA -t Input -p 'IP CUSTOMER' 2>" + q(t.err) + "; echo $? > " + q(t.rc) +
                       "; sleep 60";
    tmux("new-session -d -s " + session + " -x 80 -y 24 " + q(line));
    EXPECT_TRUE(waited(t, 1)) << slurp(t.err);
    return t;
  }
  int waits_of(const Term& t) {
    std::string s = slurp(t.log);
    return int(std::count(s.begin(), s.end(), '\n'));
  }
  bool waited(const Term& t, int n) {
    for (int i = 0; i < 1500; ++i) {
      if (waits_of(t) >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void press(const Term& t, const std::string& k) {
    int before = waits_of(t);
    tmux("send-keys -t " + t.session + " " + k);
    EXPECT_TRUE(waited(t, before + 1)) << t.session << " " << k << ": " << slurp(t.err);
  }
  void type(const Term& t, const std::string& s) {
    for (char c : s) press(t, std::string(1, c));
  }
  // Code, name, amount and date typed into Add mode's fields, not saved.
  void fill(const Term& t, const std::string& code, const std::string& name, const std::string& amount) {
    type(t, code);
    press(t, "Tab");
    type(t, name);
    press(t, "Tab");
    press(t, "C-u");
    type(t, amount);
    press(t, "Tab");
    type(t, "2026-01-31");
  }
  std::string row_of(const Term& t, int r) {
    std::istringstream in(tmux("capture-pane -p -t " + t.session));
    std::string l;
    for (int i = 0; i < r && std::getline(in, l); ++i) {
    }
    while (!l.empty() && l.back() == ' ') l.pop_back();
    return l;
  }
  std::string mode_of(const Term& t) {
    std::string s = row_of(t, 23);
    return s.size() > 71 ? s.substr(71) : "";
  }
  int end(const Term& t) {
    tmux("send-keys -t " + t.session + " F3");
    for (int i = 0; i < 1500; ++i) {
      std::string s = slurp(t.rc);
      if (!s.empty() && s.back() == '\n') return std::atoi(s.c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
};

// A changes K1; B keys K1 in Change and gets it for inquiry with "Record is
// locked by another user"; A saves; B keys K1 again, gets A's value in
// Change and saves its own. The file holds B's value and nothing else
// changed. Then both add M3: the second gets "Duplicate key" and keeps what
// it typed; the first record stays as written.
TEST_F(TwoUsers, AChangeLocksTheRecordAndADuplicateKeepsTheTypedValues) {
  new_customers();
  Term a = open("A");
  fill(a, "K1", "KAY", "10");
  press(a, "Enter");
  fill(a, "L2", "LEO", "5");
  press(a, "Enter");
  auto before = read_customers(data);
  ASSERT_EQ(before.size(), 2u);
  press(a, "F8");
  type(a, "K1");
  press(a, "Enter");
  EXPECT_EQ(mode_of(a), "CHG");
  press(a, "Tab");
  press(a, "Tab");
  press(a, "C-u");
  type(a, "20");
  Term b = open("B");
  press(b, "F8");
  type(b, "K1");
  press(b, "Enter");
  EXPECT_EQ(mode_of(b), "CHG/INQ");
  // The lock's message shows at once, the frame's "shown for inquiry only"
  // behind it with MESSAGE.
  EXPECT_NE(row_of(b, 24).find("Record is locked by another user"), std::string::npos) << row_of(b, 24);
  EXPECT_NE(row_of(b, 24).find("(+1)"), std::string::npos) << row_of(b, 24);
  tmux("send-keys -t B F12");
  for (int i = 0; i < 300 && row_of(b, 24).find("inquiry only") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(row_of(b, 24).find("Record is shown for inquiry only"), std::string::npos) << row_of(b, 24);
  EXPECT_EQ(row_of(b, 4), "  Amount      10.00");
  press(a, "Enter");
  EXPECT_EQ(mode_of(a), "CHG/KEY");
  press(b, "F8");
  type(b, "K1");
  press(b, "Enter");
  EXPECT_EQ(mode_of(b), "CHG");
  EXPECT_EQ(row_of(b, 4), "  Amount      20.00");
  press(b, "Tab");
  press(b, "Tab");
  press(b, "C-u");
  type(b, "30");
  press(b, "Enter");
  auto after = read_customers(data);
  ASSERT_EQ(after.size(), 2u);
  std::vector<uint8_t> want = before[0];
  want[size_t(kCusAmount + 3)] = 0x03;  // 30.00: the digits 00000003000, sign C
  want[size_t(kCusAmount + 4)] = 0x00;
  want[size_t(kCusAmount + 5)] = 0x0C;
  EXPECT_EQ(hex(after[0]), hex(want));
  EXPECT_EQ(after[1], before[1]);

  press(a, "F5");
  press(b, "F5");
  fill(a, "M3", "MIA", "1");
  fill(b, "M3", "MAX", "2");
  press(a, "Enter");
  press(b, "Enter");
  EXPECT_NE(row_of(b, 24).find("Duplicate key"), std::string::npos) << row_of(b, 24);
  EXPECT_EQ(row_of(b, 2), "  Code    M3");
  EXPECT_EQ(row_of(b, 3), "  Name    MAX");
  auto last = read_customers(data);
  ASSERT_EQ(last.size(), 3u);
  EXPECT_EQ(std::string(last[2].begin(), last[2].begin() + 9), "M3    MIA");
  EXPECT_EQ(end(a), 0);
  press(b, "C-u");  // B leaves without saving
  EXPECT_EQ(end(b), 0);
}

}  // namespace

namespace {

// Faults met at the terminal: HELP, missing files, typing over a shown
// value, the keys of other terminals.
class TerminalFaults : public InputRun {
 protected:
  std::string dump() {
    std::string s;
    for (auto& l : screen()) s += l + "\n";
    return s + slurp(dir + "/err");
  }
};

// HELP on a field of an Input screen and END out of it: back on the same
// field, the cursor where it was, the values typed before kept, and the
// keys typed after go into the field; the record then written holds them.
TEST_F(TerminalFaults, HelpReturnsToTheSameFieldWithTheValuesKept) {
  new_customers();
  ASSERT_TRUE(start("IP CUSTOMER", 80, "", true, "Input")) << slurp(dir + "/err");
  type("H1");
  key("Tab");
  type("HAL");
  auto at = cursor();
  key("F1");
  EXPECT_EQ(row(3), "  Field:        CUS NAME") << dump();
  key("F3");
  EXPECT_EQ(cursor(), at) << dump();
  EXPECT_EQ(row(2), "  Code    H1") << dump();
  EXPECT_EQ(row(3), "  Name    HAL") << dump();
  type("O");
  EXPECT_EQ(row(3), "  Name    HALO") << dump();
  key("Tab");
  key("C-u");
  type("1");
  key("Tab");
  type("2026-01-31");
  key("Enter");
  EXPECT_EQ(mode_item(), "ADD");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  auto recs = read_customers(data);
  ASSERT_EQ(recs.size(), 1u) << dump();
  EXPECT_EQ(std::string(recs[0].begin(), recs[0].begin() + 10), "H1    HALO");
}

}  // namespace

namespace {

// A start-up Input process whose file is missing: the engine ends with
// the process's failure (completion code 4) and says which process could
// not open which file; never with the status of a normal end.
TEST_F(TerminalFaults, AStartUpProcessWhoseFileIsMissingEndsAsAFailure) {
  new_customers();
  sh("rm -f " + q(data + "/data/IPD/IPA00/CUSTOMER") + "*");
  start("IP CUSTOMER", 80, "", false, "Input");
  std::string err;
  EXPECT_EQ(ended(&err), 4) << dump();
  EXPECT_NE(err.find("the start-up process did not start: IPA 00 Input \"IP CUSTOMER\": File cannot be opened: "
                     "IPD IPA CUSTOMER: File not found"),
            std::string::npos)
      << err;
}

}  // namespace

namespace {

// The first character typed at the start of a numeric field replaces what
// it showed: "123.45" typed over the ".00" of an empty amount is 123.45,
// and "7" typed over 123.45 in Change is 7.00. Text fields are typed over
// character by character: "TIM" over "TOMMY" leaves "TIMMY".
TEST_F(TerminalFaults, TheFirstKeyAtTheStartOfANumberReplacesIt) {
  new_customers();
  ASSERT_TRUE(start("IP CUSTOMER", 80, "", true, "Input")) << slurp(dir + "/err");
  EXPECT_EQ(row(4), "  Amount        .00");
  type("T1");
  key("Tab");
  type("TOMMY");
  key("Tab");
  type("123.45");
  EXPECT_EQ(row(4), "  Amount  123.45") << dump();
  key("Tab");
  type("2026-01-31");
  key("Enter");
  EXPECT_EQ(row(4), "  Amount        .00") << dump();
  key("F8");
  type("T1");
  key("Enter");
  EXPECT_EQ(mode_item(), "CHG") << dump();
  EXPECT_EQ(row(3), "  Name    TOMMY");
  key("Tab");
  type("TIM");
  EXPECT_EQ(row(3), "  Name    TIMMY") << dump();
  key("Tab");
  EXPECT_EQ(row(4), "  Amount     123.45");
  type("7");
  EXPECT_EQ(row(4), "  Amount  7") << dump();
  key("Enter");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  auto recs = read_customers(data);
  ASSERT_EQ(recs.size(), 1u) << dump();
  EXPECT_EQ(std::string(recs[0].begin(), recs[0].begin() + 26), "T1    TIMMY               ");
  EXPECT_EQ(recs[0][kCusAmount + 3], 0x00);  // 7.00: digits 00000000700, sign C
  EXPECT_EQ(recs[0][kCusAmount + 4], 0x70);
  EXPECT_EQ(recs[0][kCusAmount + 5], 0x0C);
}

}  // namespace

namespace {

// Under TERM=screen (no shifted function keys) Alt-D confirms a delete and
// Alt-N reads the next record.
TEST_F(TerminalFaults, AltKeysConfirmADeleteAndReadTheNextRecordUnderScreen) {
  new_customers();
  ASSERT_TRUE(start("IP CUSTOMER", 80, "TERM=screen", true, "Input")) << slurp(dir + "/err");
  add("A1", "ADA", "1", "2026-01-31");
  add("B2", "BOB", "2", "2026-01-31");
  key("F7");
  type("A1");
  key("Enter");
  EXPECT_EQ(mode_item(), "INQ") << dump();
  key("M-n");
  EXPECT_EQ(row(2), "  Code    B2") << dump();
  key("F6");
  type("A1");
  key("Enter");
  EXPECT_EQ(mode_item(), "DEL") << dump();
  key("M-d");
  EXPECT_EQ(mode_item(), "DEL/KEY") << dump();
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0);
  auto recs = read_customers(data);
  ASSERT_EQ(recs.size(), 1u) << dump();
  EXPECT_EQ(std::string(recs[0].begin(), recs[0].begin() + 2), "B2");
}

}  // namespace

namespace {

// A menu has no field under the cursor: HELP, the help of a field, has
// nothing to show there; HELP OPTION lists the menu's options, and END
// leaves the list for the menu, which takes an option again.
TEST_F(TerminalFaults, HelpOptionListsTheOptionsOfAMenu) {
  new_customers();
  ASSERT_TRUE(start("IP MENU", 80)) << slurp(dir + "/err");
  key("F1");
  EXPECT_EQ(row(1), "                              Menu executor tests") << dump();
  key("F2");
  EXPECT_EQ(row(1), "  Options of this screen") << dump();
  EXPECT_NE(row(3).find("IP CUSTOMER"), std::string::npos) << dump();
  EXPECT_NE(row(4).find("IP FORM"), std::string::npos) << dump();
  key("F3");
  EXPECT_EQ(row(1), "                              Menu executor tests") << dump();
  option(2);
  EXPECT_EQ(row(2), "  Note") << dump();
}

}  // namespace

namespace {

// Several fields refused by one ENTER: the cursor goes to the first of them
// and the message shown is that field's; mended, the next refused field
// takes the cursor with its own message.
TEST_F(TerminalFaults, TheMessageShownIsTheOneOfTheFieldUnderTheCursor) {
  new_customers();
  ASSERT_TRUE(start("IP CUSTOMER", 80, "", true, "Input")) << slurp(dir + "/err");
  add("E1", "EVE X", "1", "2026-13-45");
  EXPECT_EQ(cursor().second, 3) << dump();
  EXPECT_NE(row(24).find("Embedded blanks are not allowed"), std::string::npos) << dump();
  key("C-u");
  type("EVE");
  key("Enter");
  EXPECT_EQ(cursor().second, 5) << dump();
  EXPECT_NE(row(24).find("Date is not valid"), std::string::npos) << dump();
}

// A key the screen does not take says so, and what was typed stays: HELP
// where no field is, an option the menu lacks, SCAN on a field without a
// list of values, DELETE CONFIRM outside Delete, HELP OPTION on a screen
// without options. MESSAGE, and CANCEL
// where the process may not be cancelled, keep it too.
TEST_F(TerminalFaults, AKeyNotTakenSaysOptionIsNotAvailable) {
  new_customers();
  ASSERT_TRUE(start("IP MENU", 80)) << slurp(dir + "/err");
  key("F1");
  EXPECT_NE(row(24).find("Option is not available now"), std::string::npos) << dump();
  option(9);
  EXPECT_NE(row(24).find("Option is not available now"), std::string::npos) << dump();
  option(1);
  type("S1");
  auto at = cursor();
  for (const char* k : {"F4", "M-d", "F2"}) {
    key(k);
    EXPECT_NE(row(24).find("Option is not available now"), std::string::npos) << k << "\n" << dump();
    EXPECT_EQ(row(2), "  Code    S1") << k << "\n" << dump();
    EXPECT_EQ(cursor(), at) << k << "\n" << dump();
  }
  for (const char* k : {"F12", "Escape"}) {
    key(k);
    EXPECT_EQ(row(2), "  Code    S1") << k << "\n" << dump();
  }
}

}  // namespace

namespace {

// A child whose file is missing: the error window names the file.
TEST_F(TerminalFaults, AFileErrorNamesTheFile) {
  new_customers();
  sh("rm -f " + q(data + "/data/IPD/IPA00/CUSTOMER") + "*");
  ASSERT_TRUE(start("IP MENU", 80)) << slurp(dir + "/err");
  option(1);
  EXPECT_EQ(row(3), "File cannot be opened: IPD IPA CUSTOMER") << dump();
  EXPECT_NE(dump().find("File not found"), std::string::npos) << dump();
}

}  // namespace

namespace {

// The default menu's error display and list of compile errors, before any
// error: each says so, and the list shows no numbers.
TEST_F(TerminalFaults, TheErrorScreensSayWhenThereIsNone) {
  run_in_pane("QUVOPATH=" + q(data) + " " + q(QUVO_BINARY));
  ASSERT_TRUE(waits(1)) << dump();
  option(1);
  EXPECT_EQ(row(1), "  Error") << dump();
  EXPECT_EQ(row(24), "No error has been shown in this session") << dump();
  key("F3");
  option(2);
  EXPECT_EQ(row(1), "  Process compile errors") << dump();
  EXPECT_EQ(row(4), "  Error:                  message") << dump();
  EXPECT_EQ(row(24), "No process compile of this session has failed") << dump();
}

}  // namespace
