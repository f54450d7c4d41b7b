// Child invocation and the built-in children of the frame processor: a
// numbered option or an automatic child of a frame runs a process from its
// compiled child record; option keys run prepared invocations of the
// runtime application's processes ("HELP", "HELP OPTION", "SET ENTRY
// ATTRIBUTES", "SELECT ACCESS PATH", "SCAN") and pass values through the
// ENTRY, HELP and HELPOPT work files.
#pragma once

#include <cstdint>

struct Pcb;
struct EmCchld;
struct PiInvoc;

// 1 when the child ran or was skipped by INCLUDE CHILDREN, 0 when refused.
int invoc_chld(Pcb* pcb, const EmCchld* child);
// The current frame's automatic children: 22, 5, or the completion code
// when a child was refused.
int invoc_auto_chld(Pcb* pcb);
// 1 when the child's completion was 37 and the parent goes on, 0 when it
// was not 37; other parents unwind with 37.
int was_chld_corrupt(PiInvoc* invoc, Pcb* pcb);

// Engine start: the work files and the prepared invocations (fp_init).
int fp_bltin_init();
// The HELP record (1,424 bytes) of an item.
void bld_help_itm(Pcb* pcb, uint8_t* record, int item);

// Option keys served by built-in children; each returns a frame result,
// or 0 when the image goes on.
int fp_opt_scan(Pcb* pcb);             // 257
int fp_opt_select_key(Pcb* pcb);       // 259
int fp_opt_entry_attrs(Pcb* pcb);      // 271
int fp_opt_direct(Pcb* pcb, int opt);  // 272, 273
int fp_opt_help(Pcb* pcb);             // 276
int fp_opt_help_opt(Pcb* pcb);         // 280
// The terminal-emulator hooks: 1 start of image, 2 after a child.
void fp_keaterm(Pcb* pcb, int which);
// Whether dynamic keys are switched off (QUVO_DISABLE_DYNAKEYS).
bool fp_dynakeys_off();
