// The input executor: an Input process keeps the records of its own file
// (PCF) through its frames: the loop of record entry in every mode
// (ipexec.cpp), the next sequence number of a new record, the start mode
// and the mode keys (ipmode.cpp) and the status line (ipstat.cpp).
#pragma once

#include <cstdint>
#include <functional>
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

// The phase of a mode: Add 1, Delete 2, Change 7, any other Inquire 3.
int ip_mode_phase(int mode);
// Whether ENTER after a record reads the next one: not in Add mode, only
// from a record phase (7, 2, 3), and AUTO READNEXT '1', or blank outside
// Delete mode.
bool ip_auto_rdnxt(int mode, int phase, char auto_readnext);
// init_mode: the mode and phase an Input process starts in from DEFAULT
// MODE `mode`. Without a keyed PCF (`keyed` false) the mode as it is, in
// its own phase. Otherwise the mode ip_correct_mode allows, then:
//   Add: in record-entry state (`entry`) a new record (phase 1); out of
//     it, the first record in Change (or Inquire when Change may not be
//     done), Add when there is none;
//   Delete: with AUTO READNEXT '1' the first record (phase 2), else key
//     entry (phase 6);
//   Inquire: out of record-entry state or with AUTO READNEXT '1' the first
//     record (phase 3); failing that, key entry, or Add out of
//     record-entry state when Add may be done;
//   Change: in record-entry state without AUTO READNEXT '1' key entry;
//     else the first record (phase 7); failing that, key entry when Add
//     may not be done in record-entry state, else Add.
// A first record held or locked elsewhere (200520, 200530) shows for
// inquiry (phase 3) in the mode. `read_first(mode, phase)` sets MODE and
// INTERACTIVE PHASE and reads the first record: 0, or the failure's
// status.
IpModeSel ip_init_mode(int mode, const IpModeFacts& f, bool entry, bool keyed, char auto_readnext,
                       const std::function<uint32_t(int mode, int phase)>& read_first);

// The mode item of the status line: the mode's three-letter name (message
// 300510: Add, Delete, Inquire, Change) and, when INTERACTIVE PHASE is not
// the mode's own phase, "/" and the phase's name (message 300500: phases
// 1-7); seven characters, blank filled.
std::string ip_mode_name(int mode, int phase);

// Start of an Input process: the process's defaults (ip_take_defaults),
// then its status window on the status line (the status text of the
// menu's layout, the mode text and the mode item).
void ip_setup(Pcb* pcb, uint32_t* saved);
// The module's defaults into the predefined fields: DEFAULT MODE when none
// was handed to the process (0 or above 254; the module's 0, none, leaves
// Add to be tried first), AUTO READNEXT when its default is not blank, and
// EXACT KEY REQUIRED as its default is (blank or '0': key entry reads the
// first record for an empty key and the first beginning with a key's
// entered leading segments; '1' only the exact key).
void ip_take_defaults(Pcb* pcb);
// The status window's two items show the process's state again.
void ip_upd_stat(Pcb* pcb);
// End of an Input process: its windows go.
void ip_cleanup(Pcb* pcb, uint32_t* saved);
// The next sequence number into the PCF record: with `search`, the highest
// number of the records whose other segments of the sequence key are the
// record's, plus the increment. 1 done (or the PCF has no sequence-number
// field), 0 when there is no next number (the field unchanged).
int find_nxt_sno(Pcb* pcb, bool search);
// The executor of an Input process: the start mode and the loop of record
// entry (ipexec.cpp).
void ip_exec(Pcb* pcb);
// An Input process run by a cascade (automatic mode): mode 2 deletes every
// record its PCF stream reads, any other rewrites each one; then it ends
// with 2.
void ip_auto(Pcb* pcb);
// Around a child the frame processor runs: a new record (phase 1) is
// written first (phase 7 after), a record being changed is rewritten, or
// let go when unchanged; 0 refuses the child (the failure's message
// queued). After the child, a record being changed is read again by its
// record id; a failure shows it for inquiry (phase 3).
struct EmCchld;
int ip_pre_invoc(Pcb* pcb, const EmCchld* child);
void ip_post_invoc(Pcb* pcb, const EmCchld* child);
// Start and end of an Input process's frame (the frame processor's hooks).
void ip_sof(Pcb* pcb);
int ip_eof(Pcb* pcb);

// Registers the input executor's slots and the frame processor's hooks of
// Input processes (called after fp_register).
void ip_register();
