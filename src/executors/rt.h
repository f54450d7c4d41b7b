// Run-time error display: rt_err shows one error by running the runtime
// application's "ERROR MESSAGE" process over the ERROR DISPLAY work file;
// rt_init makes that file and CMPLERR, and the invocation that lists a
// failed compile's errors ("EM BUILD ERRORS").
#pragma once

struct Pcb;

// Engine start (OsInit::Rt): 1, or 0 with the reason in ut_dbg.
int rt_init();
// Shows the error record (service slot rt_err); returns when dismissed.
void rt_err(void* pcb, const void* err_rec);
// Registers rt_init (OsInit::Rt) and the rt_err service slot.
void rt_register();
