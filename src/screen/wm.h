// The window manager: surfaces, windows, regions, items and
// characteristics, and the single input wait wm_show.
//
// Model. A surface is a plane; surfaces stack in the order they are created
// (the message surface of the common block always on top). Windows are
// attached to a surface and stack in attach order; a window detached into
// limbo is kept but not shown until it is reattached. A window holds one or
// more regions (scroll types, wmrec.h); a region holds rows of fixed text,
// one attribute word and colour per cell (laid by characteristics), boxes,
// and items: caller-built window items whose text the window manager copies
// when the item is inserted or updated. Windows are marked active or
// inactive; only active windows take typing, and an inactive window draws
// without its editable, bold, blink and fill attributes.
//
// The screen. The terminal's last row is the message line; the row above it
// the status line (status windows, kind 3); the rows above form the
// application area, where window placements count and where every other
// window shows. With panning on (common block panning byte), windows may lie
// beyond the area up to kWmMaxRows x kWmMaxCols and the pan keys (and the
// cursor going past an edge) move the area's view over them; otherwise a
// window must fit the area. A window that does not fit is refused with
// status 103300.
//
// Ownership. Surfaces and windows belong to the recovery scope given when
// they are made and are destroyed when that scope ends (release stage
// "windows"). Regions belong to their window.
//
// Failures. Operations return 1 (or a handle) on success and 0 on failure.
// A bad handle, a null record or an item or text too big for its region is
// a system error (module "WM1.C" / "WM2.C") and the operation does nothing.
//
// Calling conventions the two families of callers use, served here by one
// interface:
//   INIT_WND(window, kind, row, column, rows, columns, flag) takes the
//     window kind and both placements; the surface is given to wm_attach.
//     The status window of the menu and input executors (kind 3, one row by
//     the screen width, on the status line) is
//     INIT_WND(&w, 3, 0, 1, 1, com.cols, 0).
//   A window operation given a region handle acts on the region's window, so
//     callers may keep only the region WM__ATTACH gave.
//   wm_attach returns the window handle (non-zero, so "1 on success" callers
//     work too) and leaves the window and region handles in the description;
//     WM__ATTACH returns the region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "screen/km.h"
#include "screen/tm.h"
#include "screen/wmrec.h"

constexpr int kWmMaxRows = 255;
constexpr int kWmMaxCols = 255;

// ------------------------------------------------------------ start, end --
// Starts the window manager on the process's terminal: finds the keymap of
// TERM and the signed-on user (km_find), takes the terminal with the curses
// driver, creates the message and status surfaces in the base scope, and
// registers the system-error window and the message line. 1 when the screen
// is up; 0 with a reason (wm_init_error) and an exit code: 3 without a keymap
// (the reason is "Keymap Missing for this Terminal/User"), 1 without a usable
// terminal.
int wm_init();
const std::string& wm_init_error(int* exit_code = nullptr);
// The same on a given driver and keymap (tests, measurements). Takes
// ownership of neither.
int wm_start(TmDriver* driver, const Keymap* keymap);
// Starts the window manager without taking the terminal: surfaces,
// windows, regions and items work as ever, on a screen of 24 x 80 until a
// terminal gives its size, and nothing is drawn.
//   wm_start_deferred: the terminal is taken (the driver opened, the windows
//     laid out on its size) by the first wm_show, so that a run that shows
//     nothing leaves the terminal as it was.
//   wm_start_no_terminal: there is none (a script, cron, a background
//     session, a CGI run): wm_show without kWait draws nowhere and returns 1
//     with option kNext; with kWait nobody can answer, so the engine ends
//     with exit status kExitNoTerminal (ss_end_engine, every scope
//     released) after a line on standard error that says why.
// Until the terminal is taken com.screen_up stays 0: system errors and
// messages go to standard error as without a window manager.
int wm_start_deferred(TmDriver* driver, const Keymap* keymap);
int wm_start_no_terminal();
bool wm_no_terminal();
// Plugs the window manager into the program entry (called by main before
// os_main): the initialiser stage of the interactive engine, the window
// manager's end, the keymap utility run mode (-k) and, while no bootstrap
// of the system applications is built, the bootstrap (-b) as the keymap
// step alone. At a terminal (standard input and output both terminals) the
// initialiser checks TERM and the keymap, stopping the engine with "Keymap
// Missing for this Terminal/User" and exit status 3 when no keymap applies,
// and starts deferred; otherwise, and in a background session (-s), it
// starts without a terminal. While the process manager is not there the
// interactive engine runs nothing and the terminal is left alone.
void wm_register();
// Destroys every surface and window and gives the terminal back.
void wm_end();
bool wm_up();
TmDriver* wm_driver();
const Keymap* wm_keymap();

// --------------------------------------------------------------- surfaces --
int wm_create_srf(uint32_t* surface, int scope);
int wm_destroy_srf(WmHandle surface);

// ---------------------------------------------------------------- windows --
// Every operation below that takes a window also takes the handle of one of
// its regions in its place (the region WM__ATTACH gave, which the frame
// processor and the debugger keep): it acts on that region's window.
void INIT_WND(WmWnd* w, int kind, int row, int col, int rows, int cols, int flag);
WmHandle wm_attach(WmWnd* w, WmHandle surface, int scope);
WmHandle WM__ATTACH(WmWnd* w, WmHandle surface, int scope);
// destroy 1 destroys the window, 0 keeps it in limbo.
int wm_detach(WmHandle window, int destroy);
// Attaches a window (in limbo or not) on the surface, on top; a non-null
// place gives new placements (as in WmWnd), else it keeps its own.
struct WmPlace {
  int row;
  int col;
};
int wm_reattach(WmHandle window, WmHandle surface, const WmPlace* place);
int wm_actv(WmHandle window);
int wm_deactv(WmHandle window);

// ---------------------------------------------------------------- regions --
// The region of that number (1-based) of the window, made current; regions
// missing before it are added below the last one, as the scroll type says.
// 0 when it cannot be made (status 103300 in *status when given).
WmHandle wm_pos_reg(WmHandle window, int number, uint32_t* status = nullptr);
// The window's current region.
WmHandle wm_cur_reg(WmHandle window);
// Deletes the window's regions from its current one up to the given number
// (at least the current one), with their items and characteristics; the
// regions below move up. A window of scroll type 0 keeps its one region and
// has it cleared.
int wm_del_reg(WmHandle window, int number);

// Writes the region: its text lines (rows x columns characters, row after
// row; a shorter text leaves the rest blank), then its items and
// characteristics; whatever the region held before goes. "wm_write_reg() -
// reg too big" when text, items or characteristics pass the region.
int wm_write_reg(WmHandle region, std::string_view text, std::span<const WmItem> items = {},
                 std::span<const WmChr> chrs = {});
// Updates items (inserted, or rewritten at their place) and characteristics.
int wm_upd_reg(WmHandle region, std::span<const WmItem> items, std::span<const WmChr> chrs);
// Inserts an item and lays value (under select) on the cells it covers.
int wm_insert_itm(WmHandle region, const WmItem* item, uint32_t value, uint32_t select, int flag);
// Removes the item at the item's place and clears the bits of mask on its cells.
int wm_remove_itm(WmHandle region, const WmItem* item, uint32_t mask, int flag);
// Rewrites the item at its place (inserting it when missing); with select or
// flag non-zero also replaces the select bits of its cells with value's.
// Leaves the item's update word at 2 (shown) or 3 (its window is in limbo:
// to be shown again once it is reattached).
int wm_upd_itm(WmHandle region, WmItem* item, uint32_t value, uint32_t select, int flag);
// Replaces the select bits of the characteristic's cells with those of its
// attribute word and sets their colour; a box characteristic is added as a
// box. 0 (no system error) when the region is not its window's current one.
int wm_upd_chr(WmHandle region, const WmChr* chr, uint32_t select);

// ---------------------------------------------------------- message queues --
// A message queue until the message catalogue's message files take over:
// records {key, type, length, text} in order.
WmHandle wm_msgq_create(int scope);
int wm_msgq_add(WmHandle q, uint32_t key, int type, std::string_view text);
int wm_msgq_clear(WmHandle q);
int wm_msgq_count(WmHandle q);
// A reader of other message files: fills the index-th record of the handle;
// false past the last one. nullptr: the queues above.
using WmMsgReader = bool (*)(WmHandle handle, uint32_t index, WmMsgHead* head, std::string* text);
void wm_set_msg_reader(WmMsgReader reader);

// -------------------------------------------------------------- the wait --
// msgq names the messages to show: 0 none; a queue of wm_msgq_create; or a
// message file of la_create_fi, by its handle's arena reference (the value
// a Ref<FmArb> holds), whose records are read in key order.
//
// Shows the screen (flags kDraw), the queued messages of msgq (0: none),
// places the cursor (curs_req), rings the bell (kAlert) and, with kWait,
// waits for one key. It handles itself: typing and the editing keys
// 20000-20026 in the items of active windows, the pan keys 10000-10012, the
// pending-message key 279, digits typed outside a field (a numbered option,
// taken with ENTER), redraw and terminal resize. Any other option code ends
// the wait: it is left in the show block with the cursor facts, and with
// kCopyBack the edited texts are copied into the items' text. Without kWait
// the option is 261. A time-out gives 329 and status kTimedOut.
// Returns 1, or 0 when the screen is not up or the show block is null.
int wm_show(WmShow* sb, WmHandle msgq);

// Hands the terminal back before a shell command (screen kept) and takes it
// again, redrawing everything.
void wm_suspend();
void wm_resume();

// Repaints every cell of the terminal now (a screen another program wrote on).
void wm_redraw();

// Shows a text on the message line at once (the message line of la_sys_err).
void wm_msg_line(const char* text);

// The conversion of an item's value into its display text, used for items
// whose needs-conversion byte is set: the conversion layer's cv_itoe over the
// item's conversion item unless replaced (nullptr puts it back).
using WmItoe = int (*)(WmItem* item);
void wm_set_itoe(WmItoe fn);

// What wm_show does when the terminal is gone (end of input). The default
// gives the terminal back and ends the engine with exit code 1.
using WmHangup = void (*)();
void wm_set_hangup(WmHangup fn);

// What wm_show does when the terminal has changed size during a wait, once
// the windows are placed on the new size and before the screen is drawn
// again: the owner of the status line lays it out for the new width (the
// windows may be attached, detached and written then). nullptr: nothing.
using WmResized = void (*)();
void wm_set_resized(WmResized fn);

// --------------------------------------------------------- diagnostics --
// The file named by QUVO_WM_LOG (opened by wm_start) gets one line each
// time wm_show, the system-error window or the keymap utility starts waiting
// for a key ("wm_show show <calls> wait <waits> at <µs> key <µs>"), so that a
// program driving the terminal can wait for the screen to settle. The two
// times are of the monotonic clock: when the wait began, and when the key
// that ended the previous wait was read (0 before the first key); their
// difference is the time the engine took to answer that key.
// The screen as the window manager last composed it: one string per
// terminal row (tests).
std::string wm_screen_row(int row);
// Visual attributes and colour of one composed cell (tests).
TmCell wm_screen_cell(int row, int col);
void wm_cursor(int* row, int* col);
// Objects alive (tests): surfaces, windows, regions.
void wm_counts(int* surfaces, int* windows, int* regions);
