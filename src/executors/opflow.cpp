// Output frames, images and page flow.
#include "executors/fp.h"
#include "executors/op.h"

int (*op_run_frame)(Pcb* pcb, uint32_t frame) = fp_exec;

void cmpl_img(Pcb*) {}
void op_sof(Pcb*) {}
int op_eof(Pcb*) { return 0; }
int op_img_exec(Pcb*) { return 22; }
int op_prt_buf(Pcb*, int, int) { return 0; }
void prt_pg_end(Pcb*) {}
void op_finish_pg(Pcb*, int) {}
int op_upd_chr(Pcb*, uint32_t, int, int, int, int) { return 0; }
void op_register() {}
