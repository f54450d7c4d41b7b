// The curses terminal driver: terminfo and screen output through ncurses,
// key bytes read raw from the terminal (the keymap's trie decodes them), the
// terminal's size changes through SIGWINCH, ISO 8859-1 shown on UTF-8
// terminals as the same code points.
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>

#include "foundation/ssunix.h"
#include "screen/tm.h"

#define NCURSES_WIDECHAR 1
#include <curses.h>
#include <term.h>  // terminfo: its capability macros are lower-case names; none are used as names here

namespace {

int g_winch[2] = {-1, -1};

void on_winch(int) {
  int saved = errno;
  if (g_winch[1] >= 0) {
    char b = 1;
    ssize_t n = ::write(g_winch[1], &b, 1);
    (void)n;
  }
  errno = saved;
}

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool cap_ok(const char* s) { return s && s != reinterpret_cast<const char*>(-1); }

class CursesDriver : public TmDriver {
 public:
  CursesDriver(int in_fd, int out_fd, std::string term, int nrows, int ncols, bool tty)
      : in_fd_(in_fd), out_fd_(out_fd), term_(std::move(term)), fix_rows_(nrows), fix_cols_(ncols), tty_(tty) {}

  bool open(std::string* err) override {
    if (scr_) return true;
    if (tty_ && !isatty(out_fd_)) {
      if (err) *err = "standard output is not a terminal";
      return false;
    }
    std::setlocale(LC_CTYPE, "");
    const char* cs = nl_langinfo(CODESET);
    utf8_ = cs && std::strcmp(cs, "UTF-8") == 0;
    // Descriptors of our own for the FILE streams curses wants.
    out_fp_ = fdopen(dup(out_fd_), "w");
    in_fp_ = fdopen(dup(in_fd_), "r");
    if (!out_fp_ || !in_fp_) {
      if (err) *err = std::strerror(errno);
      release_files();
      return false;
    }
    if (tty_) {
      // Our handler first, so that curses leaves SIGWINCH to us.
      if (pipe(g_winch) == 0) {
        fcntl(g_winch[0], F_SETFL, O_NONBLOCK);
        fcntl(g_winch[1], F_SETFL, O_NONBLOCK);
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_winch;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGWINCH, &sa, &old_winch_);
        winch_ = true;
      }
    } else {
      // A fixed size for output that is not a terminal.
      save_env("LINES", &old_lines_);
      save_env("COLUMNS", &old_cols_);
      setenv("LINES", std::to_string(fix_rows_).c_str(), 1);
      setenv("COLUMNS", std::to_string(fix_cols_).c_str(), 1);
    }
    const char* t = term_.empty() ? std::getenv("TERM") : term_.c_str();
    scr_ = newterm(t, out_fp_, in_fp_);
    if (!tty_) {
      restore_env("LINES", old_lines_);
      restore_env("COLUMNS", old_cols_);
    }
    if (!scr_) {
      if (err) *err = std::string("no terminfo entry for terminal type \"") + (t ? t : "") + "\"";
      undo_winch();
      release_files();
      return false;
    }
    set_term(scr_);
    raw();
    noecho();
    nonl();
    intrflush(stdscr, FALSE);
    leaveok(stdscr, FALSE);
    scrollok(stdscr, FALSE);
    idlok(stdscr, TRUE);
    // Keypad transmit mode: function and cursor keys send the sequences
    // terminfo names. Input itself is read raw, never through curses.
    keypad(stdscr, TRUE);
    work_modes();
    blink_ = cap_ok(tigetstr(const_cast<char*>("blink")));
    if (has_colors()) {
      start_color();
      default_colours_ = use_default_colors() == OK;
      colours_ = true;
    }
    start_size_ = file_size();
    return true;
  }

  void close() override {
    if (!scr_) return;
    set_term(scr_);
    endwin();
    delscreen(scr_);
    scr_ = nullptr;
    undo_winch();
    release_files();
    pairs_.clear();
    next_pair_ = 1;
  }

  void size(int* r, int* c) override {
    if (!scr_) {
      *r = fix_rows_;
      *c = fix_cols_;
      return;
    }
    *r = LINES;
    *c = COLS;
  }

  void put(int row, int col, const TmCell& cell) override {
    if (!scr_) return;
    attr_t a = A_NORMAL;
    if (cell.vis & tmv::kBold) a |= A_BOLD;
    if (cell.vis & tmv::kUnderline) a |= A_UNDERLINE;
    if (cell.vis & tmv::kReverse) a |= A_REVERSE;
    if (cell.vis & tmv::kBlink) a |= blink_ ? A_BLINK : A_REVERSE;
    if (cell.vis & tmv::kDim) a |= A_DIM;
    short pair = pair_for(cell.colour);
    cchar_t cc;
    wchar_t wc[CCHARW_MAX + 1] = {};
    if (cell.vis & tmv::kLine) {
      const cchar_t* acs = line_char(cell.ch);
      attr_t aa = 0;
      short pp = 0;
      getcchar(acs, wc, &aa, &pp, nullptr);
      setcchar(&cc, wc, a | (aa & A_ALTCHARSET), pair, nullptr);
    } else {
      wc[0] = wide(cell.ch);
      setcchar(&cc, wc, a, pair, nullptr);
    }
    mvwadd_wch(stdscr, row - 1, col - 1, &cc);
  }

  void flush(int row, int col, bool full) override {
    if (!scr_) return;
    if (full) clearok(curscr, TRUE);
    wmove(stdscr, row - 1, col - 1);
    wnoutrefresh(stdscr);
    doupdate();
  }

  int read(int timeout_ms) override {
    WaitMode raw_while_waiting(this);
    long long deadline = timeout_ms >= 0 ? now_ms() + timeout_ms : -1;
    for (;;) {
      pollfd p[2] = {{in_fd_, POLLIN, 0}, {g_winch[0], POLLIN, 0}};
      int wait = -1;
      if (deadline >= 0) {
        long long left = deadline - now_ms();
        wait = left > 0 ? int(left) : 0;
      }
      int rc = poll(p, winch_ ? 2 : 1, wait);
      if (rc < 0) {
        // SIGTERM or SIGHUP ends the wait as a terminal that is gone does:
        // the window manager then ends the engine.
        if (errno == EINTR && !ss_stop_signal()) continue;
        return kTmEof;
      }
      if (rc == 0) return kTmTimeout;
      if (winch_ && (p[1].revents & POLLIN)) {
        char buf[64];
        while (::read(g_winch[0], buf, sizeof buf) > 0) {
        }
        winsize ws;
        if (ioctl(out_fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
          resize_term(ws.ws_row, ws.ws_col);
          return kTmResize;
        }
        continue;
      }
      if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        unsigned char b;
        ssize_t n = ::read(in_fd_, &b, 1);
        if (n == 1) return b;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return kTmEof;
      }
      if (p[0].revents & POLLNVAL) return kTmEof;
    }
  }

  void beep() override {
    if (scr_) ::beep();
  }

  void suspend() override {
    if (!scr_) return;
    def_prog_mode();
    endwin();
  }

  void resume() override {
    if (!scr_) return;
    reset_prog_mode();
    keypad(stdscr, TRUE);
    clearok(curscr, TRUE);
  }

  bool utf8() override { return utf8_; }

  uint64_t bytes_written() override {
    long long s = file_size();
    return s >= start_size_ ? uint64_t(s - start_size_) : 0;
  }

 private:
  // While the engine works between two input waits, the terminal's
  // interrupt character (^C) sends SIGINT, so that a process computing with
  // a screen up can be interrupted; during a wait the terminal is raw and
  // ^C is a key (CANCEL). Only when the engine catches SIGINT (the
  // interactive engine: ssunix.h); quit and suspend stay keys, and typed-
  // ahead keys are kept when ^C comes.
  void work_modes() {
    struct sigaction cur;
    sig_modes_ = false;
    if (!tty_ || sigaction(SIGINT, nullptr, &cur) != 0 || cur.sa_handler == SIG_DFL || cur.sa_handler == SIG_IGN ||
        tcgetattr(in_fd_, &wait_tio_) != 0)
      return;
    work_tio_ = wait_tio_;
    work_tio_.c_lflag |= ISIG | NOFLSH;
    work_tio_.c_cc[VQUIT] = _POSIX_VDISABLE;
    work_tio_.c_cc[VSUSP] = _POSIX_VDISABLE;
    sig_modes_ = tcsetattr(in_fd_, TCSANOW, &work_tio_) == 0;
  }
  struct WaitMode {
    CursesDriver* d;
    explicit WaitMode(CursesDriver* drv) : d(drv) {
      if (d->sig_modes_ && d->scr_) tcsetattr(d->in_fd_, TCSANOW, &d->wait_tio_);
    }
    ~WaitMode() {
      if (d->sig_modes_ && d->scr_) tcsetattr(d->in_fd_, TCSANOW, &d->work_tio_);
    }
  };

  long long file_size() {
    struct stat sb;
    if (fstat(out_fd_, &sb) == 0 && S_ISREG(sb.st_mode)) return (long long)sb.st_size;
    return 0;
  }

  wchar_t wide(uint8_t ch) {
    if (ch < 0x80) return wchar_t(ch);
    if (utf8_) return ch >= 0xA0 ? wchar_t(ch) : L'?';
    char s = char(ch);
    wchar_t w;
    std::mbstate_t ms{};
    return std::mbrtowc(&w, &s, 1, &ms) == 1 ? w : L'?';
  }

  static const cchar_t* line_char(uint8_t ch) {
    switch (ch) {
      case 'q': return WACS_HLINE;
      case 'x': return WACS_VLINE;
      case 'l': return WACS_ULCORNER;
      case 'k': return WACS_URCORNER;
      case 'm': return WACS_LLCORNER;
      case 'j': return WACS_LRCORNER;
      case 'n': return WACS_PLUS;
      case 't': return WACS_LTEE;
      case 'u': return WACS_RTEE;
      case 'v': return WACS_BTEE;
      case 'w': return WACS_TTEE;
      default: return WACS_CKBOARD;
    }
  }

  short pair_for(uint8_t colour) {
    if (!colours_ || colour == 0) return 0;
    auto it = pairs_.find(colour);
    if (it != pairs_.end()) return it->second;
    if (next_pair_ >= COLOR_PAIRS) return 0;
    auto map = [&](int n, short dflt) -> short {
      if (n >= 1 && n <= 8) return short(n - 1);
      return default_colours_ ? short(-1) : dflt;
    };
    short p = short(next_pair_++);
    init_pair(p, map(colour >> 4, COLOR_WHITE), map(colour & 15, COLOR_BLACK));
    pairs_[colour] = p;
    return p;
  }

  static void save_env(const char* name, std::string* out) {
    const char* v = std::getenv(name);
    *out = v ? std::string("=") + v : std::string();
  }
  static void restore_env(const char* name, const std::string& saved) {
    if (saved.empty()) unsetenv(name);
    else setenv(name, saved.c_str() + 1, 1);
  }

  void undo_winch() {
    if (!winch_) return;
    sigaction(SIGWINCH, &old_winch_, nullptr);
    ::close(g_winch[0]);
    ::close(g_winch[1]);
    g_winch[0] = g_winch[1] = -1;
    winch_ = false;
  }

  void release_files() {
    if (out_fp_) std::fclose(out_fp_);
    if (in_fp_) std::fclose(in_fp_);
    out_fp_ = in_fp_ = nullptr;
  }

  int in_fd_, out_fd_;
  std::string term_;
  int fix_rows_, fix_cols_;
  bool tty_;
  SCREEN* scr_ = nullptr;
  FILE* out_fp_ = nullptr;
  FILE* in_fp_ = nullptr;
  bool utf8_ = false, blink_ = false, colours_ = false, default_colours_ = false, winch_ = false;
  bool sig_modes_ = false;
  struct termios wait_tio_ {}, work_tio_ {};
  struct sigaction old_winch_;
  std::string old_lines_, old_cols_;
  std::map<uint8_t, short> pairs_;
  int next_pair_ = 1;
  long long start_size_ = 0;
};

}  // namespace

TmDriver* tm_curses() {
  static CursesDriver d(STDIN_FILENO, STDOUT_FILENO, "", 24, 80, true);
  return &d;
}

TmDriver* tm_curses_on(int in_fd, int out_fd, const char* term, int nrows, int ncols) {
  return new CursesDriver(in_fd, out_fd, term ? term : "", nrows, ncols, false);
}

bool tm_terminfo(const std::string& term, const std::vector<std::string>& caps,
                 std::map<std::string, std::string>* out) {
  int fd = ::open("/dev/null", O_RDWR);
  TERMINAL* old = cur_term;
  int err = 0;
  if (setupterm(const_cast<char*>(term.c_str()), fd, &err) != OK) {
    set_curterm(old);
    if (fd >= 0) ::close(fd);
    return false;
  }
  for (const std::string& cap : caps) {
    const char* s = tigetstr(const_cast<char*>(cap.c_str()));
    if (cap_ok(s) && *s) (*out)[cap] = s;
  }
  TERMINAL* mine = cur_term;
  set_curterm(old);
  del_curterm(mine);
  if (fd >= 0) ::close(fd);
  return true;
}
