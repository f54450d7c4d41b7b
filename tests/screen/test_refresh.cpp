// Refresh cost on the curses driver: the bytes written to the terminal for
// a one-item change on a full screen, against a full repaint.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

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

}  // namespace
