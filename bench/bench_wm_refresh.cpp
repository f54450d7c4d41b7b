// Refresh cost of the window manager on the curses driver (TERM=xterm,
// 80 x 24, output to a file): a one-item change on a full screen of items
// against the anchor, a full repaint of the same screen. The counter
// "bytes" is what each writes to the terminal.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/bi.h"
#include "screen/wm.h"

namespace {

struct Screen {
  char path[32] = "/tmp/quvo-bench-XXXXXX";
  int out = -1, in = -1;
  std::unique_ptr<TmDriver> drv;
  Keymap km;
  MmPool pool = 0;
  WmWnd w;
  std::vector<WmItem> items;

  Screen() {
    bi_init_com();
    out = mkstemp(path);
    in = open("/dev/null", O_RDONLY);
    drv.reset(tm_curses_on(in, out, "xterm", 24, 80));
    wm_start(drv.get(), &km);
    pool = mm_create_pool(nullptr, 0, 0);
    uint32_t srf;
    wm_create_srf(&srf, 0);
    INIT_WND(&w, 0, 1, 1, 22, 80, 0);
    wm_attach(&w, srf, 0);
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
    show();
  }
  ~Screen() {
    wm_end();
    mm_destroy_pool(pool);
    close(in);
    close(out);
    unlink(path);
  }
  void show() {
    WmShow sb{};
    sb.flags = wmshow::kDraw;
    wm_show(&sb, 0);
  }
};

void BM_OneItemChange(benchmark::State& state) {
  Screen s;
  uint64_t bytes = 0, n = 0;
  for (auto _ : state) {
    WmItem& it = s.items[size_t(n % s.items.size())];
    char* t = static_cast<char*>(it.text.get());
    t[6] = t[6] == 'X' ? '0' : 'X';  // one character of one item changes
    wm_upd_itm(s.w.region, &it, 0, 0, 0);
    uint64_t b = s.drv->bytes_written();
    s.show();
    bytes += s.drv->bytes_written() - b;
    ++n;
  }
  state.counters["bytes"] = benchmark::Counter(double(bytes) / double(n));
}
BENCHMARK(BM_OneItemChange);

void BM_FullRepaint(benchmark::State& state) {
  Screen s;
  uint64_t bytes = 0, n = 0;
  for (auto _ : state) {
    uint64_t b = s.drv->bytes_written();
    wm_redraw();
    bytes += s.drv->bytes_written() - b;
    ++n;
  }
  state.counters["bytes"] = benchmark::Counter(double(bytes) / double(n));
}
BENCHMARK(BM_FullRepaint);

}  // namespace

BENCHMARK_MAIN();
