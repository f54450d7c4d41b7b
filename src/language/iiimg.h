// The image, dynamic-item and message statements at run time: what they
// keep of their own (the dynamic item record) and what tests and the
// executors reach of them.
#pragma once

#include <cstdint>

#include "foundation/record.h"
#include "process/emrec.h"

struct Pcb;

// An item defined at run time (DEFINE): 500 bytes from the interpreter's
// pool, one per item, in the PCB's list in definition order.
struct IiDynItem {
  EmCitm citm;             // 0   the item as a compiled item: image, place, conversion, field address
  rec::Text<2> tpl_ver;    // 392 version of the template's application
  rec::Text<3> app;        // 394 application of the defined field
  rec::Text<22> field;     // 397 its name
  rec::U8 b419;            // 419
  rec::U16 item_no;        // 420 item number (above the compiled items)
  rec::U16 b422;           // 422
  rec::U32 mask;           // 424 attribute mask given to the window manager
  rec::U8 zero;            // 428
  rec::Bytes<3> b429;      // 429
  rec::U32 chr_select;     // 432 the attribute bits laid on its rectangle
  rec::Bytes<56> b436;     // 436
  Ref<IiDynItem> prev;     // 492
  Ref<IiDynItem> next;     // 496
};
QV_RECORD(IiDynItem, 500);
QV_AT(IiDynItem, tpl_ver, 392);
QV_AT(IiDynItem, app, 394);
QV_AT(IiDynItem, field, 397);
QV_AT(IiDynItem, item_no, 420);
QV_AT(IiDynItem, mask, 424);
QV_AT(IiDynItem, chr_select, 432);
QV_AT(IiDynItem, prev, 492);
QV_AT(IiDynItem, next, 496);

// The family's handlers into the interpreter's table (ii_set_family_init).
void ii_img_init();
// Removes one dynamic item from its image and the PCB's list, and every one
// of the PCB (the removal at End of Frame).
void undef_itm(Pcb* pcb, IiDynItem* item);
void ii_img_undef_all(Pcb* pcb);
// The dynamic items of a PCB, first to last (tests).
IiDynItem* ii_dyn_first(Pcb* pcb);
