// Report images: compiling, executing and writing them into page buffers.
#include "executors/rm.h"

RmImg* rm_cmpl_img(RmRpt*, const RmImg*, const RmItem* const*, int, const RmChr* const*, int) { return nullptr; }
RmImg* rm_img(RmRpt*, int) { return nullptr; }
int rm_exec_img(RmRpt*, int) { return 0; }
int rm_write_img(RmRpt*, int, FmArb*, int, RmWnd*) { return 0; }
int msg_line_cnt(FmArb*, int) { return 0; }
int cmprs_img(RmImg*) { return 0; }
int float_item(RmRpt*, RmImg*) { return 0; }
void invis_chr(RmImg*) {}
