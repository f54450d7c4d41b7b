// Child invocation: numbered options and automatic children.
#include "executors/fpchld.h"

#include "executors/fp.h"

int invoc_chld(Pcb*, const EmCchld*) { return 1; }
int invoc_auto_chld(Pcb*) { return kFpDone; }
int was_chld_corrupt(PiInvoc*, Pcb*) { return 0; }
