// Item and characteristic updates of an executed report image.
#include "executors/rm.h"

int rm_upd_chr(RmRpt*, const RmChrUpd&, uint32_t, uint32_t) { return 0; }
int rm_upd_itm(RmRpt*, const RmItem&, uint32_t, uint32_t) { return 0; }
