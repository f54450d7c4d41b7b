// Field display, editing and look-ups within one image pass of the frame
// processor: items prepared for the mode and entry level, displayed, edited
// after input, filled from look-up records; where the cursor goes; whether a
// pass produced new messages. Items are numbered as the PCB's item table
// (1 .. count), images by their sequence.
#pragma once

#include <cstdint>

struct Pcb;
struct EmCdlu;
struct FmArb;

// Cursor placement kinds of set_curs_pos.
constexpr int kCursField = 1;   // at a field position
constexpr int kCursSaved = 2;   // back at the saved position
constexpr int kCursRowCol = 7;  // at a row and column

// Sets every item's characteristics and table flags for the mode and level.
void prep_itm(Pcb* pcb, int image);
// Sets the attribute bits of an item's characteristics; true when one of
// them is a cursor target.
bool upd_chr(Pcb* pcb, int item, uint32_t attrs, bool protect);
// Lays the attributes on the item's characteristics (bits 0x1011 cleared
// first); marks the item as accepting input when both input bits are set,
// and leaves the input bits off the cells of an item that takes none.
// True when a characteristic is a cursor target (bits 4 and 8).
bool prep_chr(Pcb* pcb, int item, uint32_t attrs);
// Writes (or, reattached, refreshes) the region and every characteristic;
// places the cursor.
void upd_scr(Pcb* pcb, uint32_t region, bool reattached);
void reset_itm_sig(Pcb* pcb, int image);
void dspl_itm(Pcb* pcb, int image);
// Edits every input item of the current image; true when all pass.
bool strong_edit(Pcb* pcb);
// Key entry (INTERACTIVE PHASE 6): the key items typed into become the
// record's key, an item left empty its empty value; false (the item shown
// in error with the message) when a typed key does not convert.
bool key_edit(Pcb* pcb);
bool edit_alp(Pcb* pcb, int item);
// Default look-ups and automatic display; true when it displayed anything,
// *ok cleared on a failed look-up.
bool fp_dlu_exec(Pcb* pcb, bool first_pass, bool* ok);
bool do_lookup(Pcb* pcb, int item);
void auto_dspl(Pcb* pcb, int item);
int find_first_lookup(Pcb* pcb);
EmCdlu* get_cdlu(Pcb* pcb, int number);
bool cns_seg(Pcb* pcb, int item);
// Makes the item under the cursor the current field (fp_cur_item).
void curs_to_itm_pos(Pcb* pcb, int image);
void set_curs_pos(int kind, int row, int col, Pcb* pcb);
// The current field: its item number, 0 none.
int fp_cur_item(Pcb* pcb);
void fp_set_cur_item(Pcb* pcb, int item);
// True when `cur` holds messages not in `prev` (*top_type: the highest
// message type seen); then empties prev and swaps the two.
bool new_msg(FmArb** cur, FmArb** prev, int* top_type);
// Whether `cur` holds messages not in `prev` (type 2 and 3 always count);
// *top_type the highest type in `cur`. Changes neither file.
bool chk_msg(FmArb* cur, FmArb* prev, int* top_type);
