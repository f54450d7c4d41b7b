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
#include <string>
#include <vector>

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

// ------------------------------------------------ invocations and calls --
// An invocation statement: the process runner runs another process; the
// statement is false only when the child died of a memory fault (37).
struct IbInvoc {          // INVOC 40 (52)
  IbInst head;
  rec::U32 shift;         // 4  truth-level shift of the statement
  rec::U8 type;           // 8  process type of the verb
  rec::Text<3> app;       // 9  blank: NEXT APPLICATION
  rec::Text<30> name;     // 12 blank: NEXT PROCESS NAME
  rec::U8 kind;           // 42 0 SUBPROCESS, 1 RELATED, 2 DETACHED
  rec::U8 replace;        // 43 '1': the child replaces the caller
  rec::U8 fail;           // 44 failure mode 0-3
  rec::Bytes<3> b45;
  rec::U32 number;        // 48 running number of the module's invocations
};
QV_RECORD(IbInvoc, 52);
QV_AT(IbInvoc, app, 9);
QV_AT(IbInvoc, name, 12);
QV_AT(IbInvoc, kind, 42);
QV_AT(IbInvoc, number, 48);
// RUN (a shell command) and CALL (a function by name): the text in
// register 1, `len` bytes at most.
struct IbRun {            // RUN 32 (16)
  IbInst head;
  rec::U32 shift;         // 4
  rec::U8 zero;           // 8
  rec::U8 flag;           // 9  1 when the operand's flag byte was '1' (not read)
  rec::U8 fail;           // 10 failure mode 0-3
  rec::U8 b11;
  rec::U32 len;           // 12 length of the command operand
};
QV_RECORD(IbRun, 16);
QV_AT(IbRun, fail, 10);
QV_AT(IbRun, len, 12);
struct IbCall {           // CALL 6 (16)
  IbInst head;
  rec::U32 shift;         // 4
  rec::U8 keep;           // 8  nonzero keeps a loaded library loaded
  rec::U8 b9;             // 9  the operand's flag bytes, carried
  rec::U8 b10;            // 10
  rec::U8 b11;
  rec::U32 len;           // 12 length of the function operand
};
QV_RECORD(IbCall, 16);
QV_AT(IbCall, keep, 8);
QV_AT(IbCall, len, 12);
// A record of a process's parameter file PIF ("PI"/"PI", key the
// sequence): one passed item, consumed by the next CALL or RUN.
struct PifRec {
  rec::U32 seq;           // 0  highest + 1; the first record gets 2
  rec::Text<3> app;       // 4
  rec::U8 b7;             // 7
  rec::U32 zero;          // 8
  rec::U32 offset;        // 12 of the field in its data area (0 for files)
  rec::U32 type;          // 16 data type (low byte; 0 for files)
  rec::U32 len;           // 20 field length, or the record length
  rec::U32 ira;           // 24 field index of the area (relocated in the instruction)
  rec::U8 kind;           // 28 pass kind 1-7
  rec::U8 by_ref;         // 29 1 by reference
  rec::Bytes<2> b30;
};
QV_RECORD(PifRec, 32);
QV_AT(PifRec, offset, 12);
QV_AT(PifRec, ira, 24);
QV_AT(PifRec, kind, 28);
struct IbPass {           // PASS 26 (36; the field index at 28 relocated)
  IbInst head;
  PifRec rec;
};
QV_RECORD(IbPass, 36);
constexpr uint32_t kPifFirstSeq = 2;
// The parameter file's descriptor (memory-resident, key bytes 0-3 binary).
struct FmFdb;
struct FmKdb;
struct FmSdb;
void INIT_PIF_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
// A process's scan work file ("PI"/"SC", 80-byte records, key the 2-byte
// unsigned file number at offset 0): the record of each scanned file.
void INIT_SCAN_STMT_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);

uint8_t* bld_invoc(IbCode* code, uint32_t shift, uint8_t type, const char* app, const char* name, uint8_t kind,
                   uint8_t replace, uint8_t fail, uint32_t number);
uint8_t* bld_run(IbCode* code, uint32_t shift, uint8_t flag, uint8_t fail, uint32_t len);
uint8_t* bld_call(IbCode* code, uint32_t shift, uint8_t keep, uint8_t b119, uint8_t b120, uint32_t len);
uint8_t* bld_pass(IbCode* code, const PifRec& rec);

// RUN's command line (exposed for tests): the operand text (trailing
// blanks dropped) with $n, $* and \$ expanded; each parameter becomes one
// shell word (os_shell_quote), so no parameter's text runs as shell code.
// params are the parameters' texts in sequence order. False when the
// command would pass kRunMaxCommand bytes (nothing is cut).
constexpr size_t kRunMaxCommand = 65536;
bool ii_run_command(const char* text, size_t len, const std::vector<std::string>& params, std::string* out);
