// Window manager internals shared by wm1.cpp (objects) and wm2.cpp (screen
// and input). Not for other subsystems.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "screen/km.h"
#include "screen/tm.h"
#include "screen/trie.h"
#include "screen/wm.h"
#include "screen/wmrec.h"

namespace wmi {

// The conversion of an item that needs it: the conversion layer's cv_itoe
// over the conversion item inside the window item (wm2.cpp).
int cv_item_itoe(WmItem* item);

struct Window;
struct Surface;

struct ItemSt {
  WmItem item{};         // the caller's item as last inserted or updated
  std::string text;      // its display text then (text_len characters)
  bool edited = false;   // edit holds typing not yet copied back
  std::string edit;
};

struct Box {
  int row, col, rows, cols;
  uint32_t attr;
  uint8_t colour;
};

struct Region {
  WmHandle h = 0;
  WmRegRec* rec = nullptr;
  Window* win = nullptr;
  int rows = 0, cols = 0;
  std::vector<uint8_t> text;     // rows * cols
  std::vector<uint32_t> attr;    // rows * cols
  std::vector<uint8_t> colour;   // rows * cols
  std::map<std::pair<int, int>, ItemSt> items;  // by (row, col)
  std::vector<Box> boxes;
  void clear();
  int top() const { return rec->cur_row.get(); }  // first row within the window
};

struct Window {
  WmHandle h = 0;
  WmWndRec* rec = nullptr;
  Surface* srf = nullptr;   // nullptr while in limbo
  int scope = 0;
  int kind = 0, scroll = 0, flag = 0;
  int place_row = 0, place_col = 0;  // placements as given
  int rows = 0, cols = 0, reg_rows = 0, reg_cols = 0;
  int row = 1, col = 1;              // placed first row and column (logical screen)
  bool active = false;
  uint64_t z = 0;                    // stacking stamp within its surface
  std::vector<Region*> regions;      // top to bottom
  int current = 0;                   // index of the current region
  bool fixed() const { return kind == 3; }  // status-line window: not panned
};

struct Surface {
  WmHandle h = 0;
  WmSrfRec* rec = nullptr;
  int scope = 0;
  uint64_t z = 0;
  std::vector<Window*> windows;
};

struct MsgQueue {
  WmHandle h = 0;
  int scope = 0;
  struct Msg {
    uint32_t key;
    uint16_t type;
    std::string text;
  };
  std::vector<Msg> msgs;
};

struct ShownMsg {
  int type;
  std::string text;
};

// A byte source over the driver with push-back (key bytes read past a key).
class DriverSource : public ByteSource {
 public:
  TmDriver* drv = nullptr;
  std::string back;
  std::deque<int> events;
  int read(int timeout_ms) override;
  void unread(std::string_view bytes) override { back.insert(0, bytes); }
  void unread_event(int result) override { events.push_back(result); }
};

struct State {
  bool up = false;            // the terminal is taken: the driver draws
  TmDriver* drv = nullptr;
  const Keymap* km = nullptr;
  // Started without the terminal: it is taken at the first draw (deferred,
  // with this driver and keymap), or there is none (no_term).
  bool deferred = false;
  bool no_term = false;
  TmDriver* later_drv = nullptr;
  const Keymap* later_km = nullptr;
  MmPool pool = 0;
  uint64_t zstamp = 0;
  std::unordered_map<WmHandle, std::unique_ptr<Surface>> srfs;
  std::unordered_map<WmHandle, std::unique_ptr<Window>> wnds;
  std::unordered_map<WmHandle, std::unique_ptr<Region>> regs;
  std::unordered_map<WmHandle, std::unique_ptr<MsgQueue>> queues;
  std::vector<Window*> limbo;

  // The terminal and the view.
  int rows = 24, cols = 80;   // terminal size
  int pan_r = 0, pan_c = 0;   // view offset over the logical screen
  std::vector<TmCell> back, front;  // composed screen and what the driver has
  bool dirty = true;          // something changed since the last composition
  bool full = true;           // repaint every cell at the next flush

  // The cursor, on the logical screen.
  int cur_r = 1, cur_c = 1;
  int saved_r = 1, saved_c = 1;
  // The pan before a series of resizes: each resize of the series starts
  // from it, so that a terminal made smaller and then larger again shows
  // what it showed before.
  bool resizing = false;
  int base_pan_r = 0, base_pan_c = 0;
  bool insert = false;
  bool filled = false;        // the last key typed filled a field's last place

  // Messages.
  std::vector<ShownMsg> msgs;
  size_t msg_at = 0;
  std::string sys_line;       // message line text of la_sys_err
  std::string digits;         // a numbered option being typed
  std::vector<std::string> overlay;  // the system-error window's lines
  int ov_r = 1, ov_c = 1;            // the cursor while it shows: after its question
  bool in_syserr = false;

  // Input.
  DriverSource src;
  std::deque<uint32_t> pending;  // values of a macro still to be taken
  FILE* log = nullptr;
  uint64_t shows = 0, waits = 0;
  // Monotonic µs when the last key was read from the terminal (0 none yet).
  uint64_t key_us = 0;

  WmItoe itoe = cv_item_itoe;
  WmMsgReader reader = nullptr;
  WmHangup hangup = nullptr;
  WmResized resized = nullptr;
};
State& st();

// Layout of the terminal.
inline int app_rows() { return st().rows > 2 ? st().rows - 2 : 1; }
inline int status_row() { return st().rows > 1 ? st().rows - 1 : 1; }
inline int msg_row() { return st().rows; }

void sys_err(const char* module, int line, const char* fmt, ...);
Surface* find_srf(WmHandle h, const char* fn);
// A window by its handle or by the handle of one of its regions.
Window* find_wnd(WmHandle h, const char* fn);
Region* find_reg(WmHandle h, const char* fn);
// Recomputes a window's place from its placements; false when it does not
// fit. With clip (a terminal that became smaller) a window that does not fit
// is placed all the same, as near its place as the top left corner allows,
// and shows what the terminal has room for.
bool place(Window* w, bool clip = false);
// Snapshot of an item's display text (text_len characters).
std::string item_text(const WmItem& it);
bool text_ref_ok(const WmItem& it, size_t len);
// Attached windows in drawing order (bottom first).
std::vector<Window*> draw_order();
void destroy_window(Window* w);
// Hooks the release of windows and surfaces into the scope release.
void register_release();
void mark_dirty();

// wm2: the composition and the terminal.
void compose();
void refresh_screen();
void on_resize();

}  // namespace wmi
