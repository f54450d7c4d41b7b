// Run-time error display: rt_err shows one error by running the runtime
// application's "ERROR MESSAGE" process over the ERROR DISPLAY work file;
// rt_init makes CMPLERR and the invocation that lists a failed compile's
// errors ("EM BUILD ERRORS"), which pc_show_cmpl_err runs while a screen is
// up. Without a screen (a Subroutine run from the command line, a batch
// run) an error is stored all the same and its text goes to standard error.
#pragma once

#include <cstddef>

struct Pcb;
struct FmArb;

// Engine start (OsInit::Rt): 1, or 0 with the reason in ut_dbg.
int rt_init();
// Shows the error record (service slot rt_err); returns when dismissed.
void rt_err(void* pcb, const void* err_rec);
// Registers rt_init (OsInit::Rt) and the rt_err service slot.
void rt_register();

// Runs a prepared invocation of a runtime process over two surfaces of its
// own, made in the current scope and destroyed however the run ends: its
// completion code (37 unwinds the current scope with 37 once the surfaces
// are gone).
int rt_run_own_window(void* parent, const void* invocation);
// The one-record work files (ERROR DISPLAY, ENTRY, HELP): rewrites the
// first record with `record` (len bytes) or writes it when there is none.
// 1, or 0 with the file's status.
int rt_upd_first(FmArb* file, const void* record, size_t len);
// Reads the first record into `record` (len bytes): 1, 0 when none.
int rt_read_first(FmArb* file, void* record, size_t len);
