// The window manager on a real terminal, as a person uses it: the demo
// program and the keymap utility run in tmux (a private server per test,
// 80 x 24, TERM=xterm or TERM=tmux-256color); keys go in with send-keys, the
// screen comes back with capture-pane. Each step waits for the program's
// diagnostic log (one line per wait for a key) instead of sleeping.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "screen/km.h"
#include "support/tmux.h"

namespace {

using tmuxrun::q;
using tmuxrun::sh;
using tmuxrun::slurp;

int count_lines(const std::string& path) {
  std::string s = slurp(path);
  return int(std::count(s.begin(), s.end(), '\n'));
}

// The sanitizer settings of the test run, passed on to the programs.
std::string sanitizer_env() {
  std::string e;
  for (const char* v : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "QUVO_BOOT_SRC"})
    if (const char* x = std::getenv(v)) e += std::string(" ") + v + "=" + q(x);
  return e;
}

// The engine's bootstrap of a data directory (the documented step); its exit status.
int bootstrap(const std::string& data) {
  int rc = 0;
  sh("env -i PATH=/usr/bin:/bin" + sanitizer_env() + " QUVOPATH=" + q(data) + " " + q(QUVO_BINARY) +
         " -b >/dev/null 2>&1",
     &rc);
  return rc;
}

// A data directory with the default keymaps.
std::string make_data_dir(const std::string& root) {
  std::string data = root + "/data";
  mkdir(data.c_str(), 0777);
  EXPECT_EQ(bootstrap(data), 0);
  return data;
}

// Whether any line of a screen holds part.
bool any_line(const std::vector<std::string>& s, const std::string& part) {
  return std::any_of(s.begin(), s.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

class Tmux {
 public:
  Tmux(const std::string& term, const std::string& program, bool with_keymaps = true) {
    static std::atomic<int> seq{0};
    char tmpl[] = "/tmp/quvo-tmux-XXXXXX";
    dir_ = mkdtemp(tmpl);
    name_ = "quvo-wm-" + std::to_string(getpid()) + "-" + std::to_string(seq++);
    data_ = make_data_dir(dir_);
    if (!with_keymaps) sh("rm -f " + q(data_) + "/keymaps/*");  // bootstrapped, but no keymaps
    log_ = dir_ + "/wm.log";
    out_ = dir_ + "/out";
    std::string env = "env -i PATH=/usr/bin:/bin HOME=" + q(dir_) + " TERM=" + term +
                      " LANG=C.UTF-8 QUVOPATH=" + q(data_) + " QUVO_WM_LOG=" + q(log_) +
                      " WMDEMO_OUT=" + q(out_) + sanitizer_env();
    std::string cmd = env + " " + program + "; echo $? > " + q(dir_ + "/rc") + "; sleep 60";
    tmux("new-session -d -x 80 -y 24 " + q(cmd));
  }
  ~Tmux() {
    tmux("kill-server");
    // The pane's shell may still write its exit status while it goes.
    for (int i = 0; i < 100; ++i) {
      sh("rm -rf " + q(dir_));
      struct stat sb;
      if (stat(dir_.c_str(), &sb) != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  std::string tmux(const std::string& args) {
    return sh("env -u TMUX TMUX_TMPDIR=" + q(dir_) + " SHELL=/bin/sh LANG=C.UTF-8 tmux -u -L " + name_ +
               " -f /dev/null " + args +
               " 2>&1");
  }
  // Waits until the program has waited for a key n times in all.
  bool waits(int n) {
    for (int i = 0; i < 1000; ++i) {
      if (count_lines(log_) >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  int wait_count() { return count_lines(log_); }
  // Sends keys (tmux key names), each followed by waiting for the next
  // wait: one key at a time, so a lone ESC is never joined to the next key.
  void keys(std::initializer_list<std::string> ks) {
    for (const auto& k : ks) {
      int n = wait_count();
      tmux("send-keys " + q(k));
      EXPECT_TRUE(waits(n + 1)) << "no wait after key " << k;
    }
  }
  // Sends the key that ends the program.
  void finish(const std::string& k) { tmux("send-keys " + q(k)); }
  // Ends the program with k and expects it to end well.
  void quit(const std::string& k = "F3") {
    finish(k);
    EXPECT_EQ(exit_code(), 0);
  }
  // Resizes the terminal; true once the program has taken it (one wait more).
  bool resize(int x, int y) {
    int n = wait_count();
    tmux("resize-window -x " + std::to_string(x) + " -y " + std::to_string(y));
    return waits(n + 1);
  }
  // Sends keys at once (a person typing fast); expect that many waits.
  void burst(std::initializer_list<std::string> ks) {
    int n = wait_count();
    std::string a;
    for (const auto& k : ks) a += " " + q(k);
    tmux("send-keys" + a);
    EXPECT_TRUE(waits(n + int(ks.size()))) << "keys were not all taken";
  }
  std::vector<std::string> screen(bool attrs = false) {
    std::string s = tmux(std::string("capture-pane -p") + (attrs ? " -e" : ""));
    std::vector<std::string> lines;
    std::istringstream in(s);
    std::string l;
    while (std::getline(in, l)) lines.push_back(l);
    lines.resize(std::max<size_t>(lines.size(), 40));
    return lines;
  }
  std::string row(int r) { return screen()[size_t(r - 1)]; }
  // The screen once it shows what p looks for: the program has written it
  // before it waits for a key, but tmux may not have read it yet. After
  // about three seconds the last capture is returned for the assertions.
  template <class P>
  std::vector<std::string> screen_when(P p, bool attrs = false) {
    std::vector<std::string> s;
    for (int i = 0; i < 300; ++i) {
      s = screen(attrs);
      if (p(s)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return s;
  }
  std::string row_when(int r, const std::string& part) {
    return screen_when([&](const auto& s) { return s[size_t(r - 1)].find(part) != std::string::npos; })[size_t(r - 1)];
  }
  // Whether the cursor comes to row r, column c (1-based) within about three seconds.
  ::testing::AssertionResult cursor_at(int r, int c) {
    std::pair<int, int> at, want{r, c};
    for (int i = 0; i < 300 && (at = cursor()) != want; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (at == want) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "cursor at " << at.first << "," << at.second << ", not " << r << "," << c;
  }
  std::pair<int, int> cursor() {
    std::istringstream in(tmux("display -p '#{cursor_x} #{cursor_y}'"));
    int x = -1, y = -1;
    in >> x >> y;
    return {y + 1, x + 1};
  }
  std::string out() { return slurp(out_); }
  std::string wait_log() { return slurp(log_); }
  bool out_has(const std::string& line) {
    for (int i = 0; i < 500; ++i) {
      if (out().find(line + "\n") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  int exit_code() {
    for (int i = 0; i < 1000; ++i) {
      std::string s = slurp(dir_ + "/rc");
      if (!s.empty()) return std::atoi(s.c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  const std::string& data() const { return data_; }

 private:
  std::string dir_, name_, data_, log_, out_;
};

// Byte offset of the display column col (1-based) in a UTF-8 line.
std::string cols(const std::string& line, int col, int n) {
  size_t i = 0;
  int c = 1;
  while (i < line.size() && c < col) {
    unsigned char b = uint8_t(line[i]);
    i += b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    ++c;
  }
  size_t j = i;
  for (int k = 0; k < n && j < line.size(); ++k) {
    unsigned char b = uint8_t(line[j]);
    j += b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  }
  return line.substr(i, j - i);
}

// The display column (1-based) where a word starts in a UTF-8 line, 0 when
// it is not there.
int col_of(const std::string& line, const std::string& word) {
  size_t at = line.find(word);
  if (at == std::string::npos) return 0;
  int c = 1;
  for (size_t i = 0; i < at; ++i)
    if ((uint8_t(line[i]) & 0xC0) != 0x80) ++c;
  return c;
}

// The attribute sequences (SGR) right before a word of a captured line.
std::string sgr_run(const std::string& line, const std::string& word) {
  size_t w = line.find(word);
  if (w == std::string::npos) return "missing";
  size_t pos = w;
  while (pos > 0 && line[pos - 1] == 'm') {
    size_t e = line.rfind('\x1b', pos - 1);
    if (e == std::string::npos || line.compare(e, 2, "\x1b[") != 0) break;
    std::string body = line.substr(e + 2, pos - 1 - (e + 2));
    if (body.find_first_not_of("0123456789;:") != std::string::npos) break;
    pos = e;
  }
  return line.substr(pos, w - pos);
}

const char* const kTerms[] = {"xterm", "tmux-256color"};

class Terminal : public ::testing::TestWithParam<const char*> {};

TEST_P(Terminal, WindowsArePlacedAndOverlapped) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  auto s = t.screen_when([](const auto& x) { return x[23].find("Welcome") != std::string::npos; });
  EXPECT_EQ(s[0].substr(0, 24), "QUVO WINDOW MANAGER DEMO");
  // The form, centred in the 22 rows above the status and message lines:
  // rows 8-15, columns 21-60, boxed; the overlap window covers its top right.
  EXPECT_EQ(cols(s[7], 21, 1), "\u250c");
  EXPECT_EQ(cols(s[7], 50, 15), "top of the form");
  EXPECT_EQ(cols(s[8], 21, 14), "\u2502 Name:  SMITH");
  EXPECT_EQ(cols(s[8], 50, 20), "OVERLAP OVERLAP OVER");
  EXPECT_EQ(cols(s[9], 60, 1), "\u2502");
  EXPECT_EQ(cols(s[14], 21, 1), "\u2514");
  EXPECT_EQ(cols(s[14], 60, 1), "\u2518");
  // From the far edges: the last three rows of the area, the last columns.
  EXPECT_EQ(cols(s[19], 61, 12), "BOTTOM RIGHT");
  EXPECT_EQ(cols(s[21], 61, 9), "far edges");
  EXPECT_EQ(s[22].substr(0, 12), "STATUS: demo");
  EXPECT_EQ(s[23].substr(0, 19), "Welcome to the demo");
  EXPECT_NE(s[23].find("(+1)"), std::string::npos);
  EXPECT_TRUE(t.cursor_at(9, 30));  // on the Name field
  // The pending-message key shows the next message.
  t.keys({"F12"});
  EXPECT_EQ(t.row_when(24, "WARNING").substr(0, 26), "WARNING - a second message");
  t.quit();
  EXPECT_TRUE(t.out_has("end"));
}

TEST_P(Terminal, EditedFieldComesBack) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  // Start of field, overtype J, right, insert mode, X Y, delete, end of
  // field, '!', ENTER.
  t.burst({"Home", "J", "Right", "IC", "X", "Y", "DC", "End", "!", "Enter"});
  EXPECT_TRUE(t.out_has("enter name=[JMXYTH!             ] code=[AB12  ]"));
  EXPECT_EQ(cols(t.row_when(9, "JMXYTH!"), 30, 20), "JMXYTH!             ");
  // Backspace, next field, typing in an upper-case field, clear to end.
  t.burst({"BSpace", "Tab", "x", "y", "C-k", "Enter"});
  EXPECT_TRUE(t.out_has("enter name=[JMXYTH              ] code=[XY    ]"));
  // A character outside ASCII is one byte of the field.
  t.burst({"BTab", "End", "\u00e9", "Enter"});
  EXPECT_TRUE(t.out_has("enter name=[JMXYTH\xe9             ] code=[XY    ]"));
  EXPECT_EQ(cols(t.row_when(9, "JMXYTH\u00e9"), 30, 7), "JMXYTH\u00e9");
  t.quit();
}

// Each wait's line carries two monotonic times: when the wait began, and
// when the key that ended the previous wait was read (0 before any key).
// Each key is read after the wait before it began and before the next one.
TEST_P(Terminal, EachWaitLogsWhenItBeganAndWhenItsKeyWasRead) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  t.keys({"a", "b", "Right", "Enter"});
  std::istringstream in(t.wait_log());
  unsigned long long shows = 0, wait = 0, at = 0, key = 0, prev_at = 0;
  int lines = 0;
  for (std::string l; std::getline(in, l); ++lines) {
    char what[32] = {};
    ASSERT_EQ(std::sscanf(l.c_str(), "%31s show %llu wait %llu at %llu key %llu", what, &shows, &wait, &at, &key), 5)
        << l;
    EXPECT_EQ(wait, unsigned(lines + 1)) << l;
    if (lines == 0) {
      EXPECT_EQ(key, 0u) << l;
    } else {
      EXPECT_GT(key, prev_at) << l;
      EXPECT_LE(key, at) << l;
    }
    prev_at = at;
  }
  EXPECT_GE(lines, 5);
  t.quit();
}

TEST_P(Terminal, AttributeChangeShows) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  // The attribute sequences before ATTRIBUTE once they show (or not) reverse video.
  auto sgr_before = [&](bool reverse) {
    auto s = t.screen_when([&](const auto& x) { return (sgr_run(x[12], "ATTRIBUTE").find('7') != std::string::npos) == reverse; },
                           true);
    return sgr_run(s[12], "ATTRIBUTE");
  };
  EXPECT_EQ(sgr_before(false).find('7'), std::string::npos);
  t.keys({"F2"});
  ASSERT_TRUE(t.out_has("attr on"));
  std::string on = sgr_before(true);
  EXPECT_NE(on.find('7'), std::string::npos) << on;  // reverse video
  EXPECT_NE(on.find('1'), std::string::npos) << on;  // bold
  EXPECT_NE(on.find("31"), std::string::npos) << on;  // red, where the terminal has colours
  // The underlined input field carries its attribute too.
  EXPECT_NE(sgr_run(t.screen(true)[8], "SMITH").find('4'), std::string::npos);
  t.keys({"F2"});
  ASSERT_TRUE(t.out_has("attr off"));
  EXPECT_EQ(sgr_before(false).find('7'), std::string::npos);
  t.quit();
}

TEST_P(Terminal, KeysGiveTheirOptionCodes) {
  Tmux t(GetParam(), std::string(WM_DEMO) + " keys");
  ASSERT_TRUE(t.waits(1));
  t.keys({"F1", "F2", "F4", "F5", "F6", "F7", "F8", "F9", "F10", "F11", "Enter", "PPage", "NPage", "Escape"});
  // Arrows move the cursor; digits typed off the fields are a numbered option.
  ASSERT_TRUE(t.cursor_at(9, 30));
  t.keys({"Up", "Up", "Left"});
  EXPECT_TRUE(t.cursor_at(7, 29));
  t.keys({"Right", "Down"});
  EXPECT_TRUE(t.cursor_at(8, 30));
  t.keys({"Up", "1", "2"});
  EXPECT_NE(t.row_when(24, "Option: 12").find("Option: 12"), std::string::npos);
  t.keys({"Enter", "C-c"});
  t.quit();
  std::string want;
  for (int c : {276, 280, 257, 265, 266, 267, 268, 259, 278, 260, 304, 322, 323, 278, 12, 278, 274})
    want += "option " + std::to_string(c) + "\n";
  EXPECT_EQ(t.out(), want);
}

TEST_P(Terminal, SystemErrorWindowAndBadInput) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  t.keys({"F1"});
  auto has_box = [](const auto& x) { return any_line(x, "SYSTEM ERROR"); };
  auto s = t.screen_when(has_box);
  EXPECT_TRUE(has_box(s));
  // The cursor waits after the question, not somewhere inside the box.
  int qrow = 0;
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i].find("to cancel") != std::string::npos) qrow = int(i) + 1;
  ASSERT_GT(qrow, 0);
  std::pair<int, int> after{qrow, col_of(s[size_t(qrow - 1)], "to cancel") + 9};
  EXPECT_TRUE(t.cursor_at(after.first, after.second));
  t.keys({"c"});
  EXPECT_TRUE(t.out_has("syserr continue"));
  EXPECT_TRUE(t.cursor_at(9, 30));  // back on the field
  for (auto& l : t.screen_when([&](const auto& x) { return !has_box(x); }))
    EXPECT_EQ(l.find("SYSTEM ERROR"), std::string::npos);
  t.keys({"F1", "Escape"});
  EXPECT_TRUE(t.out_has("syserr cancel 3"));
  // A window wider than any screen: a status and a message, the screen whole.
  t.keys({"F9"});
  EXPECT_TRUE(t.out_has("big 0 status 103300"));
  s = t.screen_when([](const auto& x) { return x[23].find("does not fit") != std::string::npos; });
  EXPECT_EQ(s[23].substr(0, 36), "ERROR - window does not fit (103300)");
  EXPECT_EQ(s[0].substr(0, 24), "QUVO WINDOW MANAGER DEMO");
  EXPECT_EQ(cols(s[8], 21, 14), "\u2502 Name:  SMITH");
  // Sequences no keymap knows ring the bell and type nothing.
  int n = t.wait_count();
  t.tmux("send-keys -l \"$(printf '\\033[99~')\"");
  EXPECT_TRUE(t.waits(n + 1));
  t.tmux("send-keys -l \"$(printf '\\033[1;7Q')\"");
  EXPECT_TRUE(t.waits(n + 2));
  t.tmux("send-keys -l \"$(printf '\\033O2P')\"");  // shifted F1 of some terminals
  EXPECT_TRUE(t.waits(n + 3));
  t.keys({"Enter"});
  EXPECT_TRUE(t.out_has("enter name=[SMITH               ] code=[AB12  ]"));
  t.quit();
}

TEST_P(Terminal, ResizeRecentresWindows) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  ASSERT_TRUE(t.resize(100, 30));
  auto s = t.screen_when([](const auto& x) { return x[28].find("STATUS") != std::string::npos; });
  // 28 rows of area: the form's top row (28 - 8) / 2 + 1 = 11, column 31.
  EXPECT_EQ(cols(s[10], 31, 1), "\u250c");
  EXPECT_EQ(cols(s[11], 31, 14), "\u2502 Name:  SMITH");
  EXPECT_EQ(s[28].substr(0, 12), "STATUS: demo");
  EXPECT_EQ(cols(s[25], 81, 12), "BOTTOM RIGHT");
  t.quit();
}

TEST_P(Terminal, TypingPastAFullFieldKeepsWhatFits) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  // Text longer than the 20-place field, typed or pasted at once: the field
  // keeps its first 20 characters (the rest rings the bell) instead of
  // replacing its last character with every key.
  int n = t.wait_count();
  std::string text = "Hello World this is a long text";
  t.tmux("send-keys -l " + q(text));
  EXPECT_TRUE(t.waits(n + int(text.size())));
  EXPECT_EQ(cols(t.row_when(9, "Hello World"), 30, 20), "Hello World this is ");
  // A move of the cursor lets the last place be typed over again.
  t.burst({"Left", "x", "Enter"});
  EXPECT_TRUE(t.out_has("enter name=[Hello World this ix ] code=[AB12  ]"));
  t.quit();
}

TEST_P(Terminal, NumericKeypadTypesAndEnters) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  // The driver puts the keypad in application mode: its keys send escape
  // sequences, which must still type digits and signs, and its Enter is ENTER.
  t.burst({"Home", "KP1", "KP2", "KP.", "KP5", "KP-", "KP+", "KPEnter"});
  EXPECT_TRUE(t.out_has("enter name=[12.5-+              ] code=[AB12  ]"));
  EXPECT_EQ(cols(t.row_when(9, "12.5-+"), 30, 6), "12.5-+");
  t.quit();
}

TEST_P(Terminal, AltKeysNeitherCancelNorType) {
  Tmux t(GetParam(), std::string(WM_DEMO) + " keys");
  ASSERT_TRUE(t.waits(1));
  // Alt with a letter or ENTER comes as ESC and the key at once: one key the
  // keymap does not know (a bell), not CANCEL followed by typing or ENTER.
  t.keys({"End", "M-a", "M-Enter", "M-x", "Enter"});
  EXPECT_EQ(cols(t.row_when(9, "SMITH"), 30, 6), "SMITH ");
  t.quit();
  EXPECT_EQ(t.out(), "option 304\noption 274\n");
}

TEST_P(Terminal, SmallerTerminalKeepsCursorAndStatusLine) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  t.keys({"Right", "Right"});
  ASSERT_TRUE(t.resize(50, 12));
  // 10 rows of area: the form at row 2, column 6; the cursor stays on the
  // third character of the Name field; the status line stays on row 11.
  auto s = t.screen_when([](const auto& x) { return x[10].find("STATUS") != std::string::npos; });
  EXPECT_EQ(cols(s[2], 6, 14), "\u2502 Name:  SMITH");
  EXPECT_EQ(s[10].substr(0, 12), "STATUS: demo");
  EXPECT_TRUE(t.cursor_at(3, 17));
  t.burst({"x", "Enter"});
  EXPECT_TRUE(t.out_has("enter name=[SMxTH               ] code=[AB12  ]"));
  t.quit();
}

TEST_P(Terminal, TallWindowLeavesTheStatusLineWhole) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  // A window of 30 rows from row 1: the application area shows its rows
  // 1-22; the status line and the message line stay.
  t.keys({"F5"});
  ASSERT_TRUE(t.out_has("tall on"));
  auto s = t.screen_when([](const auto& x) { return x[21].find("TALL 22") != std::string::npos; });
  EXPECT_EQ(cols(s[21], 45, 7), "TALL 22");
  EXPECT_EQ(s[22].substr(0, 12), "STATUS: demo");
  EXPECT_EQ(s[22].find("TALL"), std::string::npos);
  EXPECT_EQ(s[23].find("TALL"), std::string::npos);
  // Tab to its field on row 25 pans the view; typing goes there.
  t.keys({"Tab", "Tab"});
  EXPECT_TRUE(t.cursor_at(22, 54));
  s = t.screen_when([](const auto& x) { return x[21].find("TALL 25") != std::string::npos; });
  EXPECT_EQ(s[22].substr(0, 12), "STATUS: demo");
  t.burst({"a", "b", "c", "Enter"});
  EXPECT_TRUE(t.out_has("tall=[abc     ]"));
  t.quit();
}

TEST_P(Terminal, ShellCommandGivesTheTerminalBack) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  EXPECT_EQ(t.tmux("display -p '#{keypad_flag}'"), "1\n");
  // F4 runs a shell command between wm_suspend and wm_resume: its output
  // goes, the screen comes back whole and the keys still work.
  t.keys({"F4"});
  ASSERT_TRUE(t.out_has("shell 0"));
  auto s = t.screen_when([](const auto& x) {
    return x[8].find("SMITH") != std::string::npos && x[0].find("QUVO") != std::string::npos;
  });
  for (auto& l : s) EXPECT_EQ(l.find("SHELL OUTPUT"), std::string::npos);
  EXPECT_EQ(cols(s[8], 21, 14), "\u2502 Name:  SMITH");
  EXPECT_EQ(s[22].substr(0, 12), "STATUS: demo");
  EXPECT_TRUE(t.cursor_at(9, 30));
  // The keys send the sequences of the keymap again (keypad transmit mode).
  EXPECT_EQ(t.tmux("display -p '#{keypad_flag}'"), "1\n");
  t.burst({"Tab", "End", "Z", "Enter"});
  EXPECT_TRUE(t.out_has("enter name=[SMITH               ] code=[AB12Z ]"));
  t.quit();
}

// ^C while the program works with its screen up interrupts the work (a
// signal); while it waits for a key, ^C is the CANCEL key. Keys typed ahead
// during the work stay for the waits after the interrupt, and ^\ then is a
// key like any other, not a signal that ends the program.
TEST(TerminalInterrupt, CtrlCInterruptsWorkAndIsCancelInAWait) {
  Tmux t("xterm", WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  int n = t.wait_count();
  t.finish("F6");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  t.tmux("send-keys 'C-\\' Enter");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  t.tmux("send-keys C-c");
  ASSERT_TRUE(t.waits(n + 1));
  EXPECT_TRUE(t.out_has("busy interrupted")) << t.out();
  EXPECT_TRUE(t.out_has("enter name=[SMITH               ] code=[AB12  ]")) << t.out();
  t.keys({"C-c"});
  EXPECT_TRUE(t.out_has("option 278")) << t.out();
  // (The pane's shell took the first ^C too and is gone: no exit status.)
  t.finish("F3");
  for (int i = 0; i < 500 && !t.out_has("end"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(t.out_has("end")) << t.out();
}

// SIGTERM while the program waits for a key ends the wait as the end of the
// engine: the window manager unwinds with the completion code 4, and the
// demo ends.
TEST(TerminalInterrupt, TermSignalEndsAWait) {
  Tmux t("xterm", WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  // The pane's shell runs the demo as its one child (env execs it).
  std::string pane = t.tmux("display -p '#{pane_pid}'");
  int pid = std::atoi(sh("pgrep -P " + std::to_string(std::atoi(pane.c_str()))).c_str());
  ASSERT_GT(pid, 0);
  kill(pid, SIGTERM);
  EXPECT_TRUE(t.out_has("show unwound 4")) << t.out();
  EXPECT_EQ(t.exit_code(), 0);  // and the demo ends
}

// A terminal closed under the program (its window shut) while it waits for
// a key, with the hangup signal ignored (started by nohup or the like), so
// that only the terminal tells: the program leaves (the window manager's
// hangup) instead of waiting or spinning on the dead terminal.
TEST(TerminalHangup, ClosedTerminalEndsTheProgram) {
  Tmux t("xterm", "sh -c " + q("trap '' HUP; exec " + q(WM_DEMO)));
  ASSERT_TRUE(t.waits(1));
  // The pane's shell runs the demo as its one child (env and sh exec it).
  std::string pane = t.tmux("display -p '#{pane_pid}'");
  int pid = std::atoi(sh("pgrep -P " + std::to_string(std::atoi(pane.c_str()))).c_str());
  ASSERT_GT(pid, 0);
  std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  t.tmux("kill-pane");
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    // Gone, or a zombie that its parent has not reaped.
    std::string st = slurp(stat);
    size_t e = st.rfind(')');
    gone = st.empty() || (e != std::string::npos && st.compare(e + 1, 3, " Z ") == 0);
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!gone) {
    // Its processor time over a second (utime and stime, in ticks) tells a spin from a wait.
    auto ticks = [&] {
      std::string st = slurp(stat);
      std::istringstream in(st.substr(st.rfind(')') + 2));
      std::string f;
      long long u = 0, k = 0;
      for (int i = 3; i <= 15 && in >> f; ++i) {
        if (i == 14) u = std::atoll(f.c_str());
        if (i == 15) k = std::atoll(f.c_str());
      }
      return u + k;
    };
    long long t0 = ticks();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ADD_FAILURE() << "still running 5 s after the hangup, " << ticks() - t0 << " ticks of processor time in 1 s";
    kill(pid, SIGKILL);
  }
}

// The row of the demo's tall window that a screen line shows, 0 when none.
int tall_row(const std::string& line) {
  size_t at = line.find("TALL ");
  return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + 5);
}

// Down past the last row of the application area leaves the cursor there
// (a bell), never on the status or message line, and pans nothing away.
TEST_P(Terminal, CursorStaysInTheApplicationArea) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  for (int i = 0; i < 16; ++i) t.keys({"Down"});
  EXPECT_TRUE(t.cursor_at(22, 30));
  auto s = t.screen();
  EXPECT_EQ(cols(s[7], 21, 1), "\u250c");  // the form has not moved
  EXPECT_EQ(s[22].substr(0, 12), "STATUS: demo");
  t.keys({"Up"});
  EXPECT_TRUE(t.cursor_at(21, 30));
  // Back on the Name field, typing reaches it.
  for (int i = 0; i < 12; ++i) t.keys({"Up"});
  EXPECT_TRUE(t.cursor_at(9, 30));
  t.burst({"x", "Enter"});
  EXPECT_TRUE(t.out_has("enter name=[xMITH               ] code=[AB12  ]"));
  t.quit();
}

// A pan keeps the field the cursor is on in view: PAN HOME from a field low
// in a tall window leaves the cursor on the field, inside the area, and
// typing goes on reaching it.
TEST_P(Terminal, PanningKeepsTheCursorsFieldInView) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  t.keys({"F5"});
  ASSERT_TRUE(t.out_has("tall on"));
  t.keys({"Tab", "Tab"});
  EXPECT_TRUE(t.cursor_at(22, 54));
  t.keys({"S-Home", "S-Up", "S-Up"});
  auto c = t.cursor();
  EXPECT_LE(c.first, 22);
  EXPECT_NE(t.row(c.first).find("TALL 25"), std::string::npos) << t.row(c.first);
  EXPECT_EQ(t.row(23).substr(0, 12), "STATUS: demo");
  t.burst({"a", "b", "c", "Enter"});
  EXPECT_TRUE(t.out_has("tall=[abc     ]"));
  // Off the field, a pan moves the view and brings the cursor along inside
  // the area.
  t.keys({"Right", "Right", "Right", "Right", "Right", "Right", "Right", "Right", "Right", "S-Home"});
  auto s = t.screen_when([](const auto& x) { return tall_row(x[0]) == 1; });
  EXPECT_EQ(tall_row(s[0]), 1) << s[0] << "|" << s[1] << "|" << s[21];
  c = t.cursor();
  EXPECT_GE(c.first, 1);
  EXPECT_LE(c.first, 22);
  t.quit();
}

// A terminal made smaller and then larger again shows what it showed: the
// pan is re-clamped to what the windows cover at each size.
TEST_P(Terminal, ResizeReclampsThePan) {
  Tmux t(GetParam(), WM_DEMO);
  ASSERT_TRUE(t.waits(1));
  t.keys({"F5"});
  ASSERT_TRUE(t.out_has("tall on"));
  t.keys({"Tab", "Tab"});
  EXPECT_TRUE(t.cursor_at(22, 54));
  ASSERT_TRUE(t.resize(80, 12));
  EXPECT_TRUE(t.cursor_at(10, 54));
  ASSERT_TRUE(t.resize(80, 24));
  auto s = t.screen_when([](const auto& x) { return x[21].find("TALL 25") != std::string::npos; });
  EXPECT_EQ(cols(s[21], 45, 7), "TALL 25");
  EXPECT_EQ(tall_row(s[0]), 4) << s[0];
  EXPECT_TRUE(t.cursor_at(22, 54));
  // Larger than everything: no pan at all.
  ASSERT_TRUE(t.resize(80, 40));
  s = t.screen_when([](const auto& x) { return tall_row(x[0]) == 1; });
  EXPECT_EQ(tall_row(s[0]), 1) << s[0];
  EXPECT_TRUE(t.cursor_at(25, 54));
  t.burst({"z", "Enter"});
  EXPECT_TRUE(t.out_has("tall=[z       ]"));
  t.quit();
}

INSTANTIATE_TEST_SUITE_P(Tmux, Terminal, ::testing::ValuesIn(kTerms),
                         [](const auto& info) { return std::string(info.param[0] == 'x' ? "xterm" : "tmux256"); });

// Looks up the stored xterm keymap of a user ("" for every user) in a data directory.
int find_keymap(const std::string& data, const std::string& user, Keymap* km, std::string* why) {
  auto store = km_dir_store(data);
  km_set_store(store.get());
  int rc = km_find("xterm", user, km, why);
  km_set_store(nullptr);
  return rc;
}

std::string login() {
  passwd* pw = getpwuid(getuid());
  return pw ? pw->pw_name : "";
}

// The whole screen with wrapped lines joined, once it shows part.
std::string joined_when(Tmux& t, const std::string& part) {
  std::string s;
  for (int i = 0; i < 300; ++i) {
    s = t.tmux("capture-pane -p -J");
    if (s.find(part) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return s;
}

// The engine started on a terminal it cannot serve says why, each cause in
// its own words and status.
TEST(TerminalKeymap, StartSaysWhyTheTerminalCannotBeUsed) {
  const std::string bin = QUVO_BINARY;
  {
    Tmux t("xterm", bin, false);  // bootstrapped, but no keymap for any terminal
    EXPECT_EQ(t.exit_code(), 3);
    std::string s = joined_when(t, "record one");
    EXPECT_NE(s.find("Keymap Missing for this Terminal/User\nThere is no keymap for terminal type xterm and user " +
                     login() + "; record one with: " + bin + " -k"),
              std::string::npos)
        << s;
  }
  {
    Tmux t("no-such-terminal", bin);
    EXPECT_EQ(t.exit_code(), 15);
    std::string s = joined_when(t, "terminfo");
    EXPECT_NE(s.find("the terminal type TERM=no-such-terminal has no terminfo entry"), std::string::npos) << s;
    EXPECT_EQ(s.find("Keymap Missing"), std::string::npos) << s;
  }
  {
    // Something in the data directory, but never bootstrapped.
    Tmux t("xterm", "sh -c 'rm -rf \"$QUVOPATH\"/keymaps && exec " + bin + "'");
    EXPECT_EQ(t.exit_code(), 11);
    std::string s = joined_when(t, "bootstrapped");
    EXPECT_NE(s.find("was never bootstrapped"), std::string::npos) << s;
    EXPECT_NE(s.find("build them with: " + bin + " -b"), std::string::npos) << s;
  }
}

TEST(TerminalKeymap, UtilityRecordsAndStoresKeys) {
  Tmux t("xterm", std::string(QUVO_BINARY) + " -k", false);
  ASSERT_TRUE(t.waits(1));
  EXPECT_NE(t.row_when(4, "Press").find("Press the key for ENTER (option 304)"), std::string::npos);
  EXPECT_NE(t.row(2).find("Terminal xterm, user " + login()), std::string::npos) << t.row(2);
  t.keys({"Enter", "F3", "Escape", "F1", "Space", "C-d"});
  EXPECT_NE(t.row_when(4, "Save").find("Save this keymap?"), std::string::npos);
  t.tmux("send-keys y");
  ASSERT_EQ(t.exit_code(), 0);
  Keymap km;
  std::string why;
  EXPECT_EQ(find_keymap(t.data(), "", &km, &why), 0);  // your keymap, not everybody's
  ASSERT_EQ(find_keymap(t.data(), login(), &km, &why), 1) << why;
  EXPECT_TRUE(km.recorded);
  EXPECT_EQ(km.trie.size(), 4u);
  EXPECT_EQ(km.trie.find_code(304)->seq, "\r");
  EXPECT_EQ(km.trie.find_code(274)->seq, "\x1bOR");
  EXPECT_EQ(km.trie.find_code(278)->seq, "\x1b");
  EXPECT_EQ(km.trie.find_code(276)->seq, "\x1bOP");
  struct stat st;
  ASSERT_EQ(stat((t.data() + "/keymaps/xterm.U" + login() + ".key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
}

// Keys of one byte at the ends of the range, NUL (CTRL-SPACE) and 0xFF, are
// recorded and stored as they came.
TEST(TerminalKeymap, UtilityRecordsBytesZeroAnd255) {
  Tmux t("xterm", std::string(QUVO_BINARY) + " -k", false);
  ASSERT_TRUE(t.waits(1));
  t.keys({"C-Space"});
  EXPECT_NE(t.row_when(4, "END").find("Press the key for END"), std::string::npos) << t.row(4);
  int n = t.wait_count();
  t.tmux("send-keys -H ff");
  ASSERT_TRUE(t.waits(n + 1));
  EXPECT_NE(t.row_when(4, "CANCEL").find("Press the key for CANCEL"), std::string::npos) << t.row(4);
  t.keys({"C-d"});
  t.finish("y");
  ASSERT_EQ(t.exit_code(), 0);
  Keymap km;
  std::string why;
  ASSERT_EQ(find_keymap(t.data(), login(), &km, &why), 1) << why;
  ASSERT_NE(km.trie.find_code(304), nullptr);
  EXPECT_EQ(km.trie.find_code(304)->seq, std::string(1, '\0'));
  ASSERT_NE(km.trie.find_code(274), nullptr);
  EXPECT_EQ(km.trie.find_code(274)->seq, "\xff");
}

// A key is what one key press sends, whatever the pace of typing: keys sent
// together stay apart; a key that types a character is refused; CTRL-C
// leaves with nothing saved.
TEST(TerminalKeymap, UtilityKeysAreSequencesNotPauses) {
  Tmux t("xterm", std::string(QUVO_BINARY) + " -k");
  ASSERT_TRUE(t.waits(1));
  t.burst({"Space", "Space", "Space"});
  EXPECT_NE(t.row_when(10, "Function 4").find("Function 4 of 42"), std::string::npos) << t.row(10);
  t.burst({"F5", "F6", "Space"});
  EXPECT_NE(t.row_when(10, "Function 7").find("Function 7 of 42"), std::string::npos) << t.row(10);
  t.keys({"a"});
  EXPECT_NE(t.row_when(12, "character").find("The key a types a character into fields"), std::string::npos)
      << t.row(12);
  EXPECT_NE(t.row(10).find("Function 7 of 42"), std::string::npos) << t.row(10);
  t.keys({"\u00e9"});
  EXPECT_NE(t.row(10).find("Function 7 of 42"), std::string::npos) << t.row(10);
  t.finish("C-c");
  EXPECT_EQ(t.exit_code(), 1);
  struct stat st;
  EXPECT_NE(stat((t.data() + "/keymaps/xterm.U" + login() + ".key").c_str(), &st), 0);
}

// CTRL-Z stops the utility as it stops any terminal program (under a shell
// with job control); fg brings it back where it was.
TEST(TerminalKeymap, UtilitySuspendsOnCtrlZ) {
  Tmux t("xterm", "bash --norc --noprofile -i");
  t.tmux("send-keys " + q(std::string(QUVO_BINARY) + " -k") + " Enter");
  ASSERT_TRUE(t.waits(1));
  t.keys({"Enter"});
  t.tmux("send-keys C-z");
  EXPECT_TRUE(any_line(t.screen_when([](const auto& x) { return any_line(x, "Stopped"); }), "Stopped"));
  t.tmux("send-keys fg Enter");
  ASSERT_TRUE(t.waits(3));
  EXPECT_NE(t.row_when(10, "Function 2").find("Function 2 of 42"), std::string::npos) << t.row(10);
  t.keys({"C-d"});
  t.finish("n");
}

// The keymap of every user is recorded only by the data directory's owner,
// and a bootstrap run again (refused on a bootstrapped directory) keeps it.
TEST(TerminalKeymap, BootstrapKeepsAKeymapRecordedForEveryUser) {
  Tmux t("xterm", std::string(QUVO_BINARY) + " -k ALL");
  ASSERT_TRUE(t.waits(1));
  EXPECT_NE(t.row_when(2, "every").find("Terminal xterm, every user"), std::string::npos) << t.row(2);
  t.keys({"F3", "C-d"});
  t.finish("y");
  ASSERT_EQ(t.exit_code(), 0);
  EXPECT_NE(bootstrap(t.data()), 0);
  Keymap km;
  std::string why;
  ASSERT_EQ(find_keymap(t.data(), "", &km, &why), 1) << why;
  EXPECT_TRUE(km.recorded);
  int node = 0;
  for (char c : std::string("\x1bOR")) node = km.trie.step(node, uint8_t(c));
  ASSERT_NE(km.trie.entry(node), nullptr);
  EXPECT_EQ(km.trie.entry(node)->values, std::vector<uint32_t>{304});
}

TEST(TerminalKeymap, UtilityShowsEveryKeyAndSaysWhatMoves) {
  Tmux t("xterm", std::string(QUVO_BINARY) + " -k");
  ASSERT_TRUE(t.waits(1));
  // Starting from the default keymap: every key that gives ENTER shows.
  EXPECT_NE(t.row_when(5, "Now").find("Now: ^J  ^M  \\eOM"), std::string::npos) << t.row(5);
  EXPECT_NE(t.row(10).find("Function 1 of 42"), std::string::npos) << t.row(10);
  // F3 (END's key) pressed for ENTER moves to ENTER, and the screen says so.
  t.keys({"F3"});
  EXPECT_NE(t.row_when(12, "gave").find("The key \\eOR gave END; it gives ENTER now."), std::string::npos)
      << t.row(12);
  EXPECT_NE(t.row(5).find("Now: \\e3"), std::string::npos) << t.row(5);
  // The frame processor's ENTRY ATTRIBUTES and direct processes can be recorded.
  t.keys({"Space", "Space", "Space", "Space", "Space", "Space", "Space", "Space", "Space", "Space", "Space",
          "Space", "Space"});
  EXPECT_NE(t.row_when(4, "ENTRY").find("Press the key for ENTRY ATTRIBUTES (option 271)"), std::string::npos)
      << t.row(4);
  t.keys({"C-d"});
  t.tmux("send-keys n");
  EXPECT_EQ(t.exit_code(), 0);
}

}  // namespace
