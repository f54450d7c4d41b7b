// Run-time error display and the runtime's start.
#include "executors/rt.h"

#include "process/pc.h"
#include "process/services.h"

int rt_init() { return rt_init_cmpl_err(); }
void rt_err(void* pcb, const void* err_rec) { rt_err_stderr(pcb, err_rec); }
void rt_register() {}
