// The curses driver on descriptors of a test's own: the refresh cost (the
// bytes written to the terminal for a one-item change on a full screen,
// against a full repaint), what a cell's byte and colour become on the
// terminal, and how a read ends.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "foundation/bi.h"
#include "screen/wm.h"

namespace {

TEST(RefreshCost, OneItemChangeIsASmallFractionOfARepaint) {
  bi_init_com();
  char path[] = "/tmp/quvo-refresh-XXXXXX";
  int out = mkstemp(path);
  int in = open("/dev/null", O_RDONLY);
  ASSERT_GE(out, 0);
  std::unique_ptr<TmDriver> drv(tm_curses_on(in, out, "xterm", 24, 80));
  Keymap km;
  ASSERT_EQ(wm_start(drv.get(), &km), 1) << wm_init_error();
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  uint32_t srf;
  wm_create_srf(&srf, 0);
  WmWnd w;
  INIT_WND(&w, 0, 1, 1, 22, 80, 0);
  ASSERT_NE(wm_attach(&w, srf, 0), 0u);
  std::vector<WmItem> items;
  for (int r = 1; r <= 22; ++r)
    for (int c = 0; c < 4; ++c) {
      char* t = static_cast<char*>(MM_ALLOC(pool, 18));
      std::snprintf(t, 18, "Field %02d.%d value", r, c);
      t[17] = ' ';
      WmItem it;
      ALPHA_PREP(&it);
      it.row = r;
      SET_ITM(&it, 18, 1 + c * 20, t);
      wm_insert_itm(w.region, &it, c % 2 ? wa::kBright : wa::kUnderline, 0xFFFFFFFF, 0);
      items.push_back(it);
    }
  WmShow sb{};
  sb.flags = wmshow::kDraw;
  ASSERT_EQ(wm_show(&sb, 0), 1);
  uint64_t b0 = drv->bytes_written();
  std::memcpy(items[41].text.get(), "CHANGED", 7);
  wm_upd_itm(w.region, &items[41], 0, 0, 0);
  ASSERT_EQ(wm_show(&sb, 0), 1);
  uint64_t one = drv->bytes_written() - b0;
  wm_redraw();
  uint64_t full = drv->bytes_written() - b0 - one;
  std::printf("refresh cost: one-item change %llu bytes, full repaint %llu bytes\n", (unsigned long long)one,
              (unsigned long long)full);
  RecordProperty("one_item_bytes", std::to_string(one));
  RecordProperty("full_repaint_bytes", std::to_string(full));
  EXPECT_GT(one, 0u);
  EXPECT_GT(full, 1500u);  // at least every non-blank cell again
  EXPECT_LT(one * 20, full);
  wm_end();
  mm_destroy_pool(pool);
  close(in);
  close(out);
  unlink(path);
}

// Runs f in a child process: its exit status, or -1 when it has not ended
// within five seconds (a read that never returns) and was killed.
int in_child(const std::function<int()>& f) {
  pid_t pid = fork();
  if (pid == 0) _exit(f());
  for (int i = 0; i < 500; ++i) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

long long ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

// A read with no time (0) only looks; one with a time waits that long, also
// across a signal that breaks the wait; a byte ends it at once; the writer
// gone ends it as a terminal that is gone. Each check's number is the exit
// status of the child that fails it.
TEST(CursesRead, EndsAtItsDeadlineAtAByteAndWhenTheWriterIsGone) {
  int rc = in_child([] {
    int p[2];
    int out = open("/dev/null", O_WRONLY);
    if (pipe(p) != 0 || out < 0) return 1;
    std::unique_ptr<TmDriver> drv(tm_curses_on(p[0], out, "xterm", 24, 80));
    std::string err;
    if (!drv->open(&err)) return 2;
    auto t0 = std::chrono::steady_clock::now();
    if (drv->read(0) != kTmTimeout || ms_since(t0) > 1000) return 3;
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, nullptr);  // no SA_RESTART: the wait fails with EINTR
    itimerval it{};
    it.it_value.tv_usec = 50000;
    setitimer(ITIMER_REAL, &it, nullptr);
    t0 = std::chrono::steady_clock::now();
    if (drv->read(300) != kTmTimeout) return 4;
    if (ms_since(t0) < 290) return 5;
    if (write(p[1], "xy", 2) != 2) return 6;
    if (drv->read(0) != 'x' || drv->read(-1) != 'y') return 7;
    close(p[1]);
    if (drv->read(-1) != kTmEof) return 8;
    drv->close();
    return 0;
  });
  EXPECT_EQ(rc, 0);
}

// A terminal whose other side closed (the window of a terminal emulator):
// the read ends as at the end of input instead of waiting or spinning.
TEST(CursesRead, EndsWhenThePseudoTerminalCloses) {
  int rc = in_child([] {
    int master = -1, slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return 1;
    int out = open("/dev/null", O_WRONLY);
    std::unique_ptr<TmDriver> drv(tm_curses_on(slave, out, "xterm", 24, 80));
    std::string err;
    if (!drv->open(&err)) return 2;
    if (write(master, "k", 1) != 1 || drv->read(1000) != 'k') return 3;
    close(master);
    if (drv->read(-1) != kTmEof || drv->read(-1) != kTmEof) return 4;
    drv->close();
    return 0;
  });
  EXPECT_EQ(rc, 0);
}

// The bytes of one screen row as a UTF-8 terminal gets them: the engine's
// ISO 8859-1 characters as the same code points, the C1 controls (0x80 -
// 0x9F, no characters) as '?'; colour nibbles 1 - 8 as the terminal's
// colours 0 - 7, others as the terminal's default.
TEST(CursesOutput, Latin1CharactersAndColoursOnAUtf8Terminal) {
  char path[] = "/tmp/quvo-cells-XXXXXX";
  int out = mkstemp(path);
  ASSERT_GE(out, 0);
  int rc = in_child([out] {
    setenv("LC_ALL", "C.UTF-8", 1);
    int in = open("/dev/null", O_RDONLY);
    std::unique_ptr<TmDriver> drv(tm_curses_on(in, out, "xterm", 24, 80));
    std::string err;
    if (!drv->open(&err) || !drv->utf8()) return 1;
    const uint8_t row[] = {'<', '~', 0x80, 0x9F, 0xA0, 0xE9, 0xFF, '>'};
    for (int i = 0; i < 8; ++i) {
      TmCell c;
      c.ch = row[i];
      drv->put(2, 1 + i, c);
    }
    // A plain '.' before each coloured mark, so that each colour is set anew.
    const char marks[] = "#$%&*";
    const uint8_t colours[] = {0x80, 0x08, 0x90, 0x10, 0x09};
    for (int i = 0; i < 5; ++i) {
      TmCell c;
      c.ch = '.';
      drv->put(4, 1 + 2 * i, c);
      c.ch = uint8_t(marks[i]);
      c.colour = colours[i];
      drv->put(4, 2 + 2 * i, c);
    }
    drv->flush(1, 1, false);
    drv->close();
    return 0;
  });
  ASSERT_EQ(rc, 0);
  std::string s;
  char buf[4096];
  for (ssize_t n; (n = pread(out, buf, sizeof buf, off_t(s.size()))) > 0;) s.append(buf, size_t(n));
  close(out);
  unlink(path);
  EXPECT_NE(s.find("<~??\xc2\xa0\xc3\xa9\xc3\xbf>"), std::string::npos);
  // What sets the colour of a mark: the sequences between it and the '.' before it.
  auto before = [&](char mark) {
    size_t at = s.find(mark), dot = s.rfind('.', at);
    return at == std::string::npos || dot == std::string::npos ? std::string("missing") : s.substr(dot + 1, at - dot - 1);
  };
  EXPECT_EQ(before('#'), "\x1b[37m");  // colour 8 on the default background: the terminal's 7
  EXPECT_EQ(before('$'), "\x1b[47m");  // the default on colour 8
  EXPECT_EQ(before('%'), "");           // 9: the default, as 0 is
  EXPECT_EQ(before('&'), "\x1b[30m");  // colour 1: the terminal's 0
  EXPECT_EQ(before('*'), "");
}

}  // namespace
