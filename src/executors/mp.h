// The menu executor: runs the frame of a Menu process (its image lists
// numbered options, each a child process) through the frame processor until
// the user leaves it, and keeps the process's status window: one row on the
// status line with the status text (QUVO_MSG centred, the engine's name)
// and the process's mode text ("MENU ENTRY" or "DATA ENTRY").
#pragma once

#include <cstdint>
#include <string>

struct Pcb;

// The status line of a screen `width` columns wide: the status text
// (QUVO_MSG centred and cut to the width when `qmsg` is not empty, else
// blank) with message 300530 at its start and, with `help_hint` (an Input
// process's line; a menu has no field to ask HELP on), message 300520
// ending ten columns before the right edge, when both fit; the column of
// the ten-character mode-text item (after 300530, else 1).
struct MpStatLayout {
  std::string text;
  int mode_col = 1;
  bool fits = false;  // both messages have their places
};
MpStatLayout mp_stat_layout(int width, const std::string& qmsg, bool help_hint);

// A one-row window on the status line, laid out for the present width and
// written with the status text: the window (0 after a system error, whose
// text names `who`, the setup that asked), its region, the width and the
// layout. The window belongs to the process's pool scope.
struct MpStatWin {
  uint32_t window = 0;
  uint32_t region = 0;
  int width = 0;
  MpStatLayout layout;
};
MpStatWin mp_stat_window(Pcb* pcb, const char* module, const char* who, bool help_hint);

// The screen's width: the window manager's once the terminal is taken;
// before that the terminal's own, when standard output is one.
int mp_screen_cols();

// Engine start (OsInit::Mp): the pool and the status line's layout.
int mp_init();
// Start of a Menu process: its status window on the status line.
void mp_setup(Pcb* pcb);
// The executor: frame 1 until it backs out (the process ends with 5); any
// other end of the frame is a system error and the process ends with 4.
void mp_exec(Pcb* pcb);
// Start of a frame (the frame processor's hook): a frame whose size is
// given has a window of its own, attached on the process's second surface
// the first time the frame starts and kept until the process ends
// ("attach_wnd() - wm_attach failed").
void mp_sof(Pcb* pcb);
// The status window shows the process's mode text again.
void mp_upd_stat(Pcb* pcb);
// End of a Menu process: its image, frame and status windows go.
void mp_cleanup(Pcb* pcb);
// Registers mp_init and the Menu slots of the service and hook tables
// (called after fp_register).
void mp_register();
