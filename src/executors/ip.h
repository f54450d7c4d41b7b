// The input executor: an Input process keeps the records of its own file
// (PCF) through its frames. This far: the Add mode loop (ipexec.cpp), the
// next sequence number of a new record, the start-mode corrections, the
// mode keys and the status line.
#pragma once

#include <cstdint>
#include <string>

// The sequence-number field's next value: `value` (the field's stored
// bytes) plus `increment` units of its last digit. Data type 5 is a
// little-endian binary of `size` 1, 2 or 4 bytes (`is_signed`: its top bit
// is the sign); 8 a packed decimal of `size` bytes; 12 a variable packed
// value (8 bytes of packed decimal, then its scale byte, left as it is).
// 1 with the field changed; 0 with the field unchanged when the sum
// overflows the field or needs more than `digits` significant digits
// (integer and decimal digits; 0: the field's own room), or the stored
// value is not a number of its type. Any other data type is a system error
// ("unexpected sequence number data type") and gives 0.
int ip_sno_add(uint8_t* value, int type, int size, bool is_signed, int digits, uint32_t increment);

struct Pcb;

// What the start mode of an Input process with a file depends on: the
// process definition's permissions for Add, Delete and Change, whether the
// user's security codes for them pass, how its PCF is opened (access 1
// read only, 3 read and write) and whether its records vary in length.
struct IpModeFacts {
  bool add = false, del = false, chg = false;              // permitted
  bool add_sec = true, del_sec = true, chg_sec = true;     // security passes
  int access = 3;
  bool variable = false;
};
// The mode the process starts in from DEFAULT MODE `mode`: Add without its
// permission becomes Change when Change is permitted, else Inquire; Delete
// without its permission or a PCF opened for writing becomes Inquire;
// Change without its permission, or over records of varying length on a
// PCF not opened for writing, becomes Inquire; a mode whose security code
// fails becomes Inquire; any mode other than 1-4 is Inquire.
int ip_correct_mode(int mode, const IpModeFacts& f);

// A mode key (frame results 27 Add, 28 Delete, 29 Inquire, 30 Change) on a
// frame that does not scroll: Add enters a new record (MODE 1, phase 1),
// the others go to key entry (phase 6) in their mode. A mode whose
// security code fails gives message 200460 and leaves MODE and phase as
// they were; any other result is the system error "slct_mode() -
// unexpected case switch" and changes nothing.
struct IpModeSel {
  int mode;
  int phase;
  uint32_t msg;  // 0, or the message to show
};
IpModeSel ip_slct_mode(int result, int mode, int phase, const IpModeFacts& f);

// The mode item of the status line: the mode's three-letter name (message
// 300510: Add, Delete, Inquire, Change) and, when INTERACTIVE PHASE is not
// the mode's own phase, "/" and the phase's name (message 300500: phases
// 1-7); seven characters, blank filled.
std::string ip_mode_name(int mode, int phase);

// Start of an Input process: its status window on the status line (the
// status text of the menu's layout, the mode text and the mode item).
void ip_setup(Pcb* pcb, uint32_t* saved);
// The status window's two items show the process's state again.
void ip_upd_stat(Pcb* pcb);
// End of an Input process: its windows go.
void ip_cleanup(Pcb* pcb, uint32_t* saved);
// The next sequence number into the PCF record: with `search`, the highest
// number of the records whose other segments of the sequence key are the
// record's, plus the increment. 1 done (or the PCF has no sequence-number
// field), 0 when there is no next number (the field unchanged).
int find_nxt_sno(Pcb* pcb, bool search);
// The executor of an Input process: with a PCF, the start mode and the loop
// of record entry (Add mode so far); without one, the frame processor's
// interim executor.
void ip_exec(Pcb* pcb);

// Registers the Input slots built so far (called after fp_register).
void ip_register();
