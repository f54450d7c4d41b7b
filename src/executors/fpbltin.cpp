// The built-in children of the frame processor and their work files.
#include "executors/fpchld.h"

int fp_bltin_init() { return 1; }
void bld_help_itm(Pcb*, uint8_t*, int) {}
int fp_opt_scan(Pcb*) { return 0; }
int fp_opt_select_key(Pcb*) { return 0; }
int fp_opt_entry_attrs(Pcb*) { return 0; }
int fp_opt_direct(Pcb*, int) { return 0; }
int fp_opt_help(Pcb*) { return 0; }
int fp_opt_help_opt(Pcb*) { return 0; }
void fp_keaterm(Pcb*, int) {}
bool fp_dynakeys_off() { return false; }
