// A terminal in memory for window-manager tests: keeps the cells it is
// given and plays a script of input bytes.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "screen/km.h"
#include "screen/tm.h"

class MemTerm : public TmDriver {
 public:
  int rows = 24, cols = 80;
  std::vector<TmCell> cells;
  std::deque<int> script;  // bytes, kTmTimeout (a pause), kTmResize
  int beeps = 0, flushes = 0, full_flushes = 0, cur_r = 0, cur_c = 0;
  uint64_t puts = 0;
  bool opened = false, utf8_mode = false;
  int next_rows = 0, next_cols = 0;  // the size a kTmResize in the script brings
  std::function<void()> on_wait;     // called when a read has to wait for a key

  bool open(std::string*) override {
    opened = true;
    cells.assign(size_t(rows) * size_t(cols), TmCell{});
    return true;
  }
  void close() override { opened = false; }
  void size(int* r, int* c) override {
    *r = rows;
    *c = cols;
  }
  void put(int r, int c, const TmCell& cell) override {
    ++puts;
    if (r >= 1 && c >= 1 && r <= rows && c <= cols) cells[size_t(r - 1) * size_t(cols) + size_t(c - 1)] = cell;
  }
  void flush(int r, int c, bool full) override {
    ++flushes;
    if (full) ++full_flushes;
    cur_r = r;
    cur_c = c;
  }
  int read(int timeout_ms) override {
    // A pause ends a key sequence; a wait without a limit passes over it.
    while (!script.empty() && script.front() == kTmTimeout && timeout_ms < 0) script.pop_front();
    if (script.empty()) {
      if (timeout_ms >= 0) return kTmTimeout;
      return kTmEof;
    }
    int b = script.front();
    if (timeout_ms < 0 && on_wait) on_wait();
    script.pop_front();
    if (b == kTmResize) {
      rows = next_rows;
      cols = next_cols;
      cells.assign(size_t(rows) * size_t(cols), TmCell{});
    }
    return b;
  }
  void beep() override { ++beeps; }
  void suspend() override {}
  void resume() override {}
  bool utf8() override { return utf8_mode; }
  uint64_t bytes_written() override { return 0; }

  // A key: its bytes, then a pause.
  void key(const std::string& bytes) {
    for (char c : bytes) script.push_back(uint8_t(c));
    script.push_back(kTmTimeout);
  }
  // Characters typed one after another (each its own key).
  void type(const std::string& text) {
    for (char c : text) key(std::string(1, c));
  }
  std::string row(int r) const {
    std::string s;
    for (int c = 1; c <= cols; ++c) s.push_back(char(cells[size_t(r - 1) * size_t(cols) + size_t(c - 1)].ch));
    return s;
  }
  const TmCell& at(int r, int c) const { return cells[size_t(r - 1) * size_t(cols) + size_t(c - 1)]; }
};

// The keys of the window-manager tests.
inline const char* kTestKeymap = R"(delay 50
"\r"      ENTER
"\t"      NEXT FIELD
"\e[Z"    PREVIOUS FIELD
"\e[A"    CURSOR UP
"\e[B"    CURSOR DOWN
"\e[C"    CURSOR RIGHT
"\e[D"    CURSOR LEFT
"\e[H"    FIELD START
"\e[F"    FIELD END
"\x7f"    BACKSPACE
"\e[3~"   DELETE CHAR
"\e[2~"   INSERT TOGGLE
^K        CLEAR TO END
^U        CLEAR FIELD
"\e"      CANCEL
"\eOP"    HELP
"\eOR"    END
"\e[24~"  MESSAGE
"\e[1;2C" PAN RIGHT
"\e[1;2D" PAN LEFT
"\e[1;2B" PAN DOWN
"\e[1;2A" PAN UP
^V        LITERAL NEXT
^L        REDRAW
"\e[17~"  "AB" ENTER
)";

inline const char* kUp = "\x1b[A";
inline const char* kDown = "\x1b[B";
inline const char* kRight = "\x1b[C";
inline const char* kLeft = "\x1b[D";
inline const char* kHome = "\x1b[H";
inline const char* kEndKey = "\x1b[F";
inline const char* kBs = "\x7f";
inline const char* kDel = "\x1b[3~";
inline const char* kIns = "\x1b[2~";
inline const char* kEnterKey = "\r";
inline const char* kTab = "\t";
inline const char* kEsc = "\x1b";
