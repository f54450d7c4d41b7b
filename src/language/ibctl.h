// Control statements: loops, labels, GOSUB and RETURN, ends, the error
// trap, the lock time-out and the selection branches; layouts and builders.
//
// Loops run on a 28-byte loop control block in a private data area of the
// process (reached through a field index): it keeps the loop's TO, STEP,
// direction and its loop-back address from BEG LOOP to END LOOP, so an END
// LOOP reached without its BEG LOOP (a GOTO into the body) is 100910. The
// loop-back address is the arena reference of the body's first instruction
// (0: the loop is not active), so the block holds no native address.
#pragma once

#include <cstdint>

#include "language/ib.h"

struct IbLoopCnv {        // LOOP_CNV 0 (8)
  IbInst head;
  rec::U8 reg;            // 1-4
  rec::U8 var_type;       // the loop variable's type (5 binary loop)
  rec::U8 op_type;        // the operand's
  rec::U8 op_len;
};
QV_RECORD(IbLoopCnv, 8);
struct IbBegLoop {        // BEG_LOOP_PD 2, BEG_LOOP_BIN 4 (12)
  IbInst head;
  CodeRef exit;           // after the END LOOP
  rec::U32 ira;           // the loop control block
};
QV_RECORD(IbBegLoop, 12);
struct IbEndLoop {        // END_LOOP_PD 12, END_LOOP_BIN 14 (8)
  IbInst head;
  rec::U32 ira;
};
QV_RECORD(IbEndLoop, 8);
struct IbAddrLen {        // SET_ADDR_LEN 8 (6)
  IbInst head;
  rec::U8 reg;            // 1-4, any other 4
  rec::U8 len;
};
QV_RECORD(IbAddrLen, 6);
struct IbGosub {          // GOSUB 18 (12)
  IbInst head;
  CodeRef label;
  CodeRef ret;
};
QV_RECORD(IbGosub, 12);
struct IbLabel {          // GOTO 20, OVERFLOW 24 (8; block 65535 clears the trap)
  IbInst head;
  CodeRef label;
};
QV_RECORD(IbLabel, 8);
struct IbTimeout {        // TIMEOUT 34 (12)
  IbInst head;
  CodeRef label;
  rec::U8 type;           // 5, 8, 12
  rec::U8 len;
  rec::U8 is_signed;
  rec::U8 unused;
};
QV_RECORD(IbTimeout, 12);
struct IbCond {           // EXIT_COND 36, BR_COND 38 (12)
  IbInst head;
  rec::U8 value;          // truth value 1 or 2 of level 1
  rec::Bytes<3> unused;
  CodeRef to;             // BR_COND's target; EXIT_COND 0
};
QV_RECORD(IbCond, 12);
struct IbLogout {         // LOGOUT 44 (6)
  IbInst head;
  rec::U8 flag;           // 1: completion code 25, else 24
  rec::U8 unused;
};
QV_RECORD(IbLogout, 6);

// The loop control blocks.
struct IiLoopPd {
  rec::Bytes<8> to;
  rec::U8 to_scale;
  rec::Bytes<8> step;
  rec::U8 step_scale;
  Ref<uint8_t> back;      // the body's first instruction; 0 not active
  rec::U8 dir;            // 1 or 255 (-1)
  rec::U8 all_int;
  rec::Bytes<4> unused;
};
QV_RECORD(IiLoopPd, 28);
QV_AT(IiLoopPd, back, 18);
struct IiLoopBin {
  rec::U32 to;
  rec::U32 step;
  Ref<uint8_t> back;
  rec::U32 dir;
  rec::Bytes<12> unused;
};
QV_RECORD(IiLoopBin, 28);

// Builders. A label or exit address not yet known is written as
// {65535, 0}; the compiler patches the returned slot (CodeRef* at
// instruction + 4, or + 8 for BR_COND) when it knows it.
uint8_t* bld_loop_cnv(IbCode* code, int reg, uint8_t var_type, uint8_t op_type, uint8_t op_len);
uint8_t* bld_addr_len(IbCode* code, int reg, uint8_t len);
uint8_t* bld_beg_loop(IbCode* code, bool binary, uint32_t ira, CodeRef* where = nullptr);
uint8_t* bld_end_loop(IbCode* code, bool binary, uint32_t ira);
uint8_t* bld_end(IbCode* code, bool statement);
uint8_t* bld_end_proc(IbCode* code);
uint8_t* bld_exit(IbCode* code);
uint8_t* bld_return(IbCode* code);
uint8_t* bld_gosub(IbCode* code, CodeRef label);
uint8_t* bld_goto(IbCode* code, CodeRef label);
uint8_t* bld_overflow(IbCode* code, CodeRef label);   // {65535, 0} clears the trap
uint8_t* bld_timeout(IbCode* code, CodeRef label, uint8_t type, uint8_t len, bool is_signed);
uint8_t* bld_timeout_clr(IbCode* code);
uint8_t* bld_logout(IbCode* code, bool flag);
uint8_t* bld_exit_cond(IbCode* code, uint8_t value);
uint8_t* bld_br_cond(IbCode* code, uint8_t value, CodeRef to);
