// Terminal drivers: what the window manager needs of a terminal.
//
// The window manager composes the screen itself and hands the driver only
// the cells that changed since the last flush; the driver (the curses driver
// `tmunix`, or a test double) puts them on the terminal and reads key bytes.
//
// Characters are the engine's 8-bit set, ISO 8859-1: on a UTF-8 terminal the
// curses driver shows byte b as the character U+00bb and decodes typed UTF-8
// back into single bytes (the window manager does the decoding, see utf8()).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Visual attributes of a cell, resolved from the attribute word.
namespace tmv {
constexpr uint16_t kBold = 0x01, kUnderline = 0x02, kReverse = 0x04, kBlink = 0x08, kDim = 0x10;
constexpr uint16_t kLine = 0x20;  // ch is a line-drawing letter: 'q' - 'x' | 'l' 'k' 'm' 'j' corners, 'n' cross,
                                  // 't' 'u' 'v' 'w' tees
}  // namespace tmv

struct TmCell {
  uint8_t ch = ' ';
  uint8_t colour = 0;   // foreground * 16 + background (0 = default)
  uint16_t vis = 0;     // tmv:: bits
  bool operator==(const TmCell& o) const { return ch == o.ch && colour == o.colour && vis == o.vis; }
  bool operator!=(const TmCell& o) const { return !(*this == o); }
};

// Results of read() other than a byte.
constexpr int kTmTimeout = -1;  // no byte within the time given
constexpr int kTmResize = -2;   // the terminal changed size (size() has the new one)
constexpr int kTmEof = -3;      // the terminal is gone

class TmDriver {
 public:
  virtual ~TmDriver() = default;
  // Takes over the terminal; false with a reason when it cannot.
  virtual bool open(std::string* err) = 0;
  virtual void close() = 0;
  virtual void size(int* rows, int* cols) = 0;
  // Cell at row, col (1-based) for the next flush.
  virtual void put(int row, int col, const TmCell& cell) = 0;
  // Shows what was put, with the cursor at row, col; full = repaint every cell.
  virtual void flush(int row, int col, bool full) = 0;
  // One input byte, waiting at most timeout_ms (negative: no limit).
  virtual int read(int timeout_ms) = 0;
  virtual void beep() = 0;
  // Hands the terminal back to the shell (screen kept) and takes it again.
  virtual void suspend() = 0;
  virtual void resume() = 0;
  // True when typed characters arrive as UTF-8.
  virtual bool utf8() = 0;
  // Bytes written to the terminal so far (for the refresh-cost measurement).
  virtual uint64_t bytes_written() = 0;
};

// The curses driver on the process's terminal (standard input and output).
TmDriver* tm_curses();
// The curses driver on other descriptors, for measurements: output goes to
// out_fd (any file), input comes from in_fd; the size is rows x cols. The
// caller deletes it.
TmDriver* tm_curses_on(int in_fd, int out_fd, const char* term, int rows, int cols);

// Terminfo string capabilities of a terminal type (the key capabilities of
// keymap sources): fills out with those of caps the entry has; false when
// the type has no terminfo entry.
bool tm_terminfo(const std::string& term, const std::vector<std::string>& caps,
                 std::map<std::string, std::string>* out);
