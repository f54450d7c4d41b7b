// The interpreter's screens on a terminal in memory: the mini data-entry
// screen keeps inside the screen whatever its message.
#include <gtest/gtest.h>

#include <string>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "language/ii.h"
#include "screen/memterm.h"
#include "screen/wm.h"
#include "support/syserr.h"

namespace {

const std::string kLong = [] {
  std::string s;
  for (int i = 0; s.size() < 200; ++i) s += "word" + std::to_string(i) + " ";
  return s.substr(0, 200);
}();

class IiScreen : public ::testing::Test {
 protected:
  MemTerm term;
  Keymap km;
  void SetUp() override {
    bi_init_com();
    std::string err;
    ASSERT_TRUE(km_compile_source(kTestKeymap, ".", "test.km", "xterm", &km, &err)) << err;
    ASSERT_EQ(wm_start(&term, &km), 1);
    la_set_lookup([](uint32_t msg, std::string* text, int* sev) {
      if (msg != 424242) return false;
      *text = kLong;
      *sev = 0;
      return true;
    });
  }
  void TearDown() override {
    la_set_lookup(nullptr);
    wm_end();
  }
  // The screen row that shows text, -1 when none.
  int row_of(const std::string& text) {
    for (int r = 1; r <= term.rows; ++r) {
      std::string line;
      for (int c = 1; c <= term.cols; ++c) line += char(term.at(r, c).ch);
      if (line.find(text) != std::string::npos) return r;
    }
    return -1;
  }
};

TEST_F(IiScreen, MiniScreenWithALongMessageFitsTheScreen) {
  SysErrCapture cap(SysErrAnswer::Continue);
  FmFdb f;
  std::memset(static_cast<void*>(&f), 0, sizeof f);
  f.app.set("ABC");
  f.ver.set("01");
  f.name.set("CUSTOMER");
  std::string line, seen_file;
  term.on_wait = [&] {
    int r = row_of(kLong.substr(0, 40));
    line.clear();
    for (int c = 1; r > 0 && c <= term.cols; ++c) line += char(term.at(r, c).ch);
    seen_file = row_of("ABC 01 CUSTOMER") > 0 ? "yes" : "";
  };
  for (char ch : std::string(kEnterKey)) term.script.push_back(uint8_t(ch));
  EXPECT_FALSE(mini_scr(nullptr, 424242, &f));  // ENTER
  EXPECT_EQ(cap.count(), 0u) << cap.last();
  EXPECT_EQ(seen_file, "yes");
  // The window is the screen's width less two columns; the message is cut to
  // it, a blank column on each side.
  ASSERT_EQ(line.size(), size_t(term.cols));
  size_t at = line.find(kLong.substr(0, 40));
  ASSERT_NE(at, std::string::npos);
  EXPECT_GE(at, 1u);
  EXPECT_NE(line.find(kLong.substr(0, term.cols - 4)), std::string::npos) << line;
  EXPECT_EQ(line.find(kLong.substr(0, term.cols - 3)), std::string::npos) << line;
  // CANCEL answers true.
  term.on_wait = nullptr;
  term.script.push_back(0x1b);
  term.script.push_back(kTmTimeout);
  EXPECT_TRUE(mini_scr(nullptr, 424242, &f));
  EXPECT_EQ(cap.count(), 0u) << cap.last();
}

}  // namespace
