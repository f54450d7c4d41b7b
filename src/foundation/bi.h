// The common block: the engine's one block of shared state.
//
// Compiled code addresses it by offset (a constant reference of 65000 or more
// is the byte at reference - 65000), so every field keeps the offset declared
// here for good: new fields go into the reserved tail, never between existing
// ones. The block lives in the engine arena, so a record may refer to any of
// its bytes with a Ref.
#pragma once

#include <cstdint>

#include "foundation/mm.h"
#include "foundation/record.h"

struct FmArb;

constexpr int kComMaxScopes = 128;  // deepest recovery-scope nesting
constexpr int kComCnstBase = 65000; // constant references at or above address the block

// One entry of the recovery-scope stack.
struct ComScope {
  rec::U16 saved_proc;   // process scope before the MARK
  rec::U16 saved_sub;    // sub-process scope before the MARK
  rec::U16 saved_evt;    // event-point scope before the MARK
  rec::U8 type;          // scope type given to MARK
  rec::U8 active;        // 1 while the scope is on the stack
  rec::U32 reset_count;  // entries of the scope's reset list
  rec::Bytes<4> spare;
};
QV_RECORD(ComScope, 16);
QV_AT(ComScope, type, 6);
QV_AT(ComScope, reset_count, 8);

struct ComArea {
  // --- constants -------------------------------------------------------
  rec::Text<256> blanks;         // 256 blanks
  rec::U8 pd_pos;                // positive sign nibble (0xC)
  rec::U8 pd_neg;                // negative sign nibble (0xD)
  rec::Bytes<2> spare0;
  rec::Bytes<8> pd_minus_one;    // packed -1, 0, 1 (8 bytes each)
  rec::Bytes<8> pd_zero;
  rec::Bytes<8> pd_one;
  rec::Bytes<8> pd_day_hundredths;  // packed 8,640,000
  rec::Bytes<16> pd_zero16;         // packed zero, 16 bytes
  // --- recovery scopes -------------------------------------------------
  rec::U16 base_scope;
  rec::U16 proc_scope;
  rec::U16 subproc_scope;
  rec::U16 evt_scope;            // event-point scope (scope type 6)
  rec::U16 depth;                // current MARK depth
  rec::Bytes<6> spare1;
  ComScope scopes[kComMaxScopes];
  // --- session ---------------------------------------------------------
  rec::Text<3> user_id;          // signed-on user
  rec::Text<3> startup_db;       // start-up database
  rec::Text<3> cur_db;           // current database, application, version
  rec::Text<3> cur_app;
  rec::Text<2> cur_ver;
  rec::Text<3> stat_db;          // status-line database, application, version
  rec::Text<3> stat_app;
  rec::Text<2> stat_ver;
  rec::Text<3> language;         // current language id
  rec::Text<32> login;           // login name of the real user
  rec::Bytes<3> spare2;
  rec::Bytes<1024> user_rec;     // USER record of the signed-on user
  // --- localized labels and names ---------------------------------------
  rec::Text<8> proc_type_names[10];  // Menu .. Status, by process type 1-10
  rec::Text<10> warning_label;
  rec::U8 warning_len;
  rec::Text<10> error_label;
  rec::U8 error_len;
  rec::Text<3> day_abbr[7];      // Sunday first
  rec::Text<10> day_full[7];
  rec::U8 day_len[7];
  rec::Text<3> month_abbr[12];
  rec::Text<10> month_full[12];
  rec::U8 month_len[12];
  // --- screen ----------------------------------------------------------
  rec::U16 rows;
  rec::U16 cols;
  rec::U32 msg_surface;          // message surface handle
  rec::U32 status_surface;       // status window surface handle
  rec::U8 panning;               // 0 none; 1 on; 2 vertical pans do nothing
  rec::U8 screen_up;             // 1 while a screen is shown
  rec::U16 spare4;
  rec::I32 net_socket;           // network-terminal socket, 0 for none
  rec::Text<32> term_name;       // TERM
  rec::Bytes<256> term_block;    // terminal facts of the driver
  // --- files -----------------------------------------------------------
  Ref<FmArb> dap_handle;         // application dictionary handle
  // --- conversion ------------------------------------------------------
  rec::U8 dec_sep;               // decimal separator
  rec::U8 thou_sep;              // thousands separator
  rec::Text<4> currency;         // currency symbol
  rec::U8 currency_pos;          // 0 leading, 1 trailing
  rec::U8 para_mark;             // paragraph mark (182)
  rec::U8 fill_char;             // APPENDFIX fill
  rec::Bytes<3> spare5;
  rec::Bytes<256> char_class;    // character class of each byte (kChr*, bi_set_char_class)
  // --- debugger and traces -------------------------------------------------
  rec::U8 traps_off;             // 1 unless QUVO_DB_TRAPS is set
  rec::U8 trace_flag;            // TRACE() writes while set
  rec::U16 dbg_sp;               // depth of the control-word stack
  rec::U32 dbg_ctl_bits;         // debugger control word
  rec::U32 dbg_stack[256];
  // --- dates -----------------------------------------------------------
  rec::U8 date_pivot;            // century pivot year + 1 (1-100), 0 for none
  // --- value conversion (further) -----------------------------------------
  rec::U8 log_true;              // localized true character ('Y')
  rec::U8 log_false;             // localized false character ('N')
  rec::U8 join_char;             // joining character of squeezed alpha values
  // --- statement text ------------------------------------------------------
  rec::Text<2> rel_codes[7];     // comparison codes of relations 1-7: equal, greater or
                                 // equal, greater, less or equal, less, not equal, contains
  // --- room for later fields -------------------------------------------
  rec::Bytes<41054> reserved;
};
QV_RECORD(ComArea, 46508);
QV_AT(ComArea, blanks, 0);
QV_AT(ComArea, pd_pos, 256);
QV_AT(ComArea, pd_neg, 257);
QV_AT(ComArea, pd_minus_one, 260);
QV_AT(ComArea, pd_zero, 268);
QV_AT(ComArea, pd_one, 276);
QV_AT(ComArea, pd_day_hundredths, 284);
QV_AT(ComArea, pd_zero16, 292);
QV_AT(ComArea, base_scope, 308);
QV_AT(ComArea, depth, 316);
QV_AT(ComArea, scopes, 324);
QV_AT(ComArea, user_id, 2372);
QV_AT(ComArea, user_rec, 2432);
QV_AT(ComArea, proc_type_names, 3456);
QV_AT(ComArea, rows, 3824);
QV_AT(ComArea, dec_sep, 4136);
QV_AT(ComArea, para_mark, 4143);
QV_AT(ComArea, char_class, 4148);
QV_AT(ComArea, traps_off, 4404);
QV_AT(ComArea, dbg_ctl_bits, 4408);
QV_AT(ComArea, dbg_stack, 4412);
QV_AT(ComArea, date_pivot, 5436);
QV_AT(ComArea, log_true, 5437);
QV_AT(ComArea, rel_codes, 5440);
QV_AT(ComArea, reserved, 5454);

// The common block, in the arena.
extern ComArea& com;

// Address of a common-block constant reference (reference >= 65000).
inline uint8_t* com_cnst(uint32_t reference) {
  return reinterpret_cast<uint8_t*>(&com) + (reference - kComCnstBase);
}

// Fills the constants, labels and defaults (part of os_init; callable again
// by tests to start from a fresh block).
void bi_init_com();

// Character classes of the common block's table, as the field editor
// checks typed values: other, blank, printable (33-126 and 161-254 that are
// no digits), digits, the entry fill character and the second reserved
// character (the paragraph mark).
constexpr uint8_t kChrOther = 0, kChrBlank = 1, kChrPrint = 2, kChrDigit = 3, kChrFill = 4, kChrReserved = 5;
// Fills the table: the ISO 8859-1 classes, then `fill` and the block's
// paragraph mark in their own classes.
void bi_set_char_class(ComArea* c, uint8_t fill);
