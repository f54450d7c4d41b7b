// Field display, editing and look-ups.
#include "executors/fpitm.h"

#include <cstdint>

void prep_itm(Pcb*, int) {}
bool upd_chr(Pcb*, int, uint32_t, bool) { return false; }
void upd_scr(Pcb*, uint32_t, bool) {}
void reset_itm_sig(Pcb*, int) {}
void dspl_itm(Pcb*, int) {}
bool strong_edit(Pcb*) { return true; }
bool edit_alp(Pcb*, int) { return true; }
bool fp_dlu_exec(Pcb*, bool, bool*) { return false; }
bool do_lookup(Pcb*, int) { return true; }
void auto_dspl(Pcb*, int) {}
int find_first_lookup(Pcb*) { return 0; }
EmCdlu* get_cdlu(Pcb*, int) { return nullptr; }
bool cns_seg(Pcb*, int) { return false; }
void curs_to_itm_pos(Pcb*, int) {}
void set_curs_pos(int, int, int, Pcb*) {}
int fp_cur_item(Pcb*) { return 0; }
void fp_set_cur_item(Pcb*, int) {}
bool new_msg(FmArb**, FmArb**, int* top_type) {
  if (top_type) *top_type = 0;
  return false;
}
