// Reports: creation, the registry, windows and regions, clean-up.
#include "executors/rm.h"

void rm_init() {}
RmRpt* rm_create(const char*, const char*, int, char*, int) { return nullptr; }
RmRpt* rm_find(uint16_t) { return nullptr; }
int rm_cleanup(RmRpt*) { return 1; }
RmWnd* rm_attach(RmRpt*, int, const RmWndDesc&) { return nullptr; }
RmWnd* wnd_fill(RmRpt*, RmBuf*, const RmWndDesc&) { return nullptr; }
int rm_detach(RmRpt*, int, int) { return 1; }
int rm_flush_reg(RmRpt*, RmBuf*, RmWnd*) { return 1; }
