// The frame processor: one image pass, the wait and the option dispatch.
#include "executors/fp.h"

int exec_img(Pcb*) { return kFpDone; }
void show_scr(Pcb*, int, bool, FmArb*) {}
int verify_opt(Pcb*, int) { return 0; }
int fp_get_cimg(Pcb*) { return 0; }
rec::U32* fp_get_reg(Pcb*, int) { return nullptr; }
