// A small program on the window manager for the terminal tests: a few
// windows, a form, a status line and a message; it reports what the user did
// to the file named by WMDEMO_OUT, one line per event.
//
//   wm_demo [keys]
//
// ENTER reports the form's fields; F2 (HELP ON OPT) turns the ATTRIBUTE
// item's inverse video (bold, red) on and off; F1 (HELP) raises a system error and
// reports the answer; F9 (SELECT KEY) tries a window too big for the screen
// and reports the status; F4 (SCAN) runs a shell command between
// wm_suspend and wm_resume; F5 (ADD MODE) opens a window taller than the
// screen with a field on its row 25 (ENTER then reports it too); F6 (DELETE
// MODE) works until ^C interrupts it (10 seconds at most) and reports
// whether it did; END ends. In "keys" mode every option is reported and END
// ends. It catches SIGINT as the interactive engine does.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "foundation/ut.h"
#include "screen/wm.h"

namespace {
FILE* out = nullptr;

void report(const std::string& s) {
  if (!out) return;
  std::fprintf(out, "%s\n", s.c_str());
  std::fflush(out);
}

MmPool pool;

char* text(const std::string& s, size_t width) {
  char* p = static_cast<char*>(MM_ALLOC(pool, width));
  std::memset(p, ' ', width);
  std::memcpy(p, s.data(), std::min(width, s.size()));
  return p;
}

WmItem item(int row, int col, char* buf, int len) {
  WmItem it;
  ALPHA_PREP(&it);
  it.row = row;
  SET_ITM(&it, len, col, buf);
  return it;
}

WmChr chr(int row, int col, int rows, int cols, uint32_t attr) {
  WmChr c{};
  c.row = row;
  c.col = col;
  c.rows = rows;
  c.cols = cols;
  c.attr = attr;
  return c;
}

std::string lines(std::initializer_list<std::string> ls, size_t width) {
  std::string s;
  for (const auto& l : ls) {
    std::string x = l;
    x.resize(width, ' ');
    s += x;
  }
  return s;
}
}  // namespace

int main(int argc, char** argv) {
  bi_init_com();
  bool keys = argc > 1 && std::strcmp(argv[1], "keys") == 0;
  if (const char* p = std::getenv("WMDEMO_OUT")) out = std::fopen(p, "a");
  ss_catch_stop_signals();
  if (!wm_init()) {
    int code = 1;
    const std::string& why = wm_init_error(&code);
    std::fprintf(stderr, "%s\n", why.c_str());
    report("init failed " + std::to_string(code));
    return code;
  }
  pool = mm_create_pool(" DEMOPOOL  ", 0, 0);
  uint32_t srf = 0;
  wm_create_srf(&srf, 0);

  WmWnd title;
  INIT_WND(&title, 0, 1, 1, 1, 40, 0);
  wm_attach(&title, srf, 0);
  wm_write_reg(title.region, "QUVO WINDOW MANAGER DEMO");

  // The form: centred, boxed, with two input fields and an attribute item.
  WmWnd form;
  INIT_WND(&form, 0, 0, 0, 8, 40, 0);
  wm_attach(&form, srf, 0);
  char* name = text("SMITH", 20);
  char* code = text("AB12", 6);
  char* attr = text("ATTRIBUTE", 9);
  WmItem items[] = {item(2, 10, name, 20), item(4, 10, code, 6), item(6, 10, attr, 9)};
  WmChr chrs[] = {chr(1, 1, 8, 40, wa::kBox), chr(2, 10, 1, 20, wa::kInput | wa::kUnderline),
                  chr(4, 10, 1, 6, wa::kInput | wa::kUnderline | wa::kUpper)};
  wm_write_reg(form.region, lines({"", "  Name:", "", "  Code:", "", "  Attr:"}, 40), items, chrs);
  wm_actv(form.window);

  WmWnd over;
  INIT_WND(&over, 0, 6, 50, 4, 20, 0);
  wm_attach(&over, srf, 0);
  wm_write_reg(over.region, lines({"OVERLAP OVERLAP OVER", "OVERLAP window on", "top of the form", "OVERLAP OVERLAP OVER"}, 20));

  WmWnd corner;
  INIT_WND(&corner, 0, -1, -1, 3, 20, 0);
  wm_attach(&corner, srf, 0);
  wm_write_reg(corner.region, lines({"BOTTOM RIGHT", "placed from the", "far edges"}, 20));

  WmWnd status;
  INIT_WND(&status, 3, 0, 1, 1, com.cols.get(), 0);
  wm_attach(&status, com.status_surface.get(), 0);
  wm_write_reg(status.region, "STATUS: demo");

  WmHandle q = wm_msgq_create(0);
  wm_msgq_add(q, 0, 0, "Welcome to the demo");
  wm_msgq_add(q, 0, 1, "WARNING - a second message");

  WmShow sb{};
  sb.region = form.region;
  sb.curs_req = wmshow::kReqField;
  sb.req_row = 2;
  sb.req_col = 10;
  bool inverse = false;
  char* tall_field = nullptr;
  for (;;) {
    sb.flags = wmshow::kDraw | wmshow::kWait | wmshow::kCopyBack;
    int rc = 0;
    int mk = mark(0, [&] { rc = wm_show(&sb, q); });
    if (mk != 1) {
      report("show unwound " + std::to_string(mk));
      // SIGTERM or SIGHUP ends the demo as it ends the engine; waiting on
      // would unwind again at once on a terminal that is gone.
      if (ss_stop_signal()) break;
      continue;
    }
    wm_msgq_clear(q);
    sb.curs_req = 0;
    if (!rc) {
      report("show failed");
      break;
    }
    uint16_t op = sb.option.get();
    if (keys) {
      report("option " + std::to_string(op));
      if (op == opt::kEnd) break;
      continue;
    }
    if (op == opt::kEnd) {
      report("end");
      break;
    }
    if (op == opt::kEnter) {
      report("enter name=[" + std::string(name, 20) + "] code=[" + std::string(code, 6) + "]");
      if (tall_field) report("tall=[" + std::string(tall_field, 8) + "]");
    } else if (op == opt::kAddMode && !tall_field) {
      WmWnd tall;
      INIT_WND(&tall, 0, 1, 45, 30, 30, 0);
      wm_attach(&tall, srf, 0);
      std::string rows;
      for (int r = 1; r <= 30; ++r) {
        std::string l = "TALL " + std::to_string(r);
        l.resize(30, ' ');
        rows += l;
      }
      tall_field = text("", 8);
      WmItem f = item(25, 10, tall_field, 8);
      WmChr fc = chr(25, 10, 1, 8, wa::kInput | wa::kUnderline);
      wm_write_reg(tall.region, rows, {&f, 1}, {&fc, 1});
      wm_actv(tall.window);
      report("tall on");
    } else if (op == opt::kHelpOpt) {
      inverse = !inverse;
      WmChr c = chr(6, 10, 1, 9, inverse ? wa::kInverse | wa::kBright : 0);
      c.colour = inverse ? 0x20 : 0;  // red on the default background
      wm_upd_chr(form.region, &c, wa::kInverse | wa::kBright);
      report(inverse ? "attr on" : "attr off");
    } else if (op == opt::kHelp) {
      int answer = mark(0, [] {
        std::snprintf(ut_dbg, sizeof ut_dbg, "demo system error");
        os_sys_err("WM_DEMO.C", 1);
      });
      report(answer == 1 ? "syserr continue" : "syserr cancel " + std::to_string(answer));
    } else if (op == opt::kScan) {
      wm_suspend();
      int rc = std::system("printf 'SHELL OUTPUT\\n'; sleep 0.2");
      wm_resume();
      report("shell " + std::to_string(rc));
    } else if (op == opt::kDeleteMode) {
      auto t0 = std::chrono::steady_clock::now();
      while (!ss_interrupted() && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10)) {
      }
      report(ss_interrupted() ? "busy interrupted" : "busy not interrupted");
      ss_stop_clear();
    } else if (op == opt::kSelectKey) {
      WmWnd big;
      INIT_WND(&big, 0, 0, 0, 10, 300, 0);
      WmHandle h = wm_attach(&big, srf, 0);
      report("big " + std::to_string(h) + " status " + std::to_string(big.status.get()));
      wm_msgq_add(q, 0, 2, "ERROR - window does not fit (" + std::to_string(big.status.get()) + ")");
    } else {
      report("option " + std::to_string(op));
    }
  }
  wm_end();
  return 0;
}
