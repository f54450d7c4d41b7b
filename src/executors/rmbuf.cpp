// Page buffers: lines, runs, merging and printing.
#include "executors/rm.h"

int rm_start(RmRpt*) { return 0; }
RmBuf* rm_buf(RmRpt*, int) { return nullptr; }
RmBuf* rm_newest(RmRpt*) { return nullptr; }
void rm_use_heading(RmRpt*, bool) {}
int rm_empty(RmRpt*, int, int, int) { return 0; }
int rm_print(RmRpt*, int, int) { return 0; }
void rm_reset_buf(RmRpt*, RmBuf*, bool) {}
void rm_destroy_buf(RmRpt*, RmBuf*) {}
int merge_buf(RmRpt*, RmBuf*, RmBuf*, int, int, bool) { return 0; }
RmLine* rm_line(RmRpt*, RmBuf*, uint32_t, bool) { return nullptr; }
int rm_add_run(RmRpt*, RmBuf*, const RmRun&) { return 0; }
uint32_t rm_depth(const RmBuf*, int, int) { return 0; }
RmBuf* rm_new_buf(RmRpt*, int) { return nullptr; }
