// Date statements (DATE ADD, DATE BTW, SET DATE, SET DAY, SET MNTH) and the
// date conversions that SET builds: layouts and builders (iidate.cpp runs
// them, scdate.cpp compiles the statements).
//
// Every instruction carries the 32-byte descriptor of each date operand
// (DateDescRec, foundation/cvdat.h) as compiled, with its value and mask
// references left zero, and the compiled mask tokens after its fixed part.
// A run loads a native descriptor on its own frame from the stored one and
// points it at the operand register and the tokens: nothing is written into
// the shared code. Each instruction's length is the u16 at byte 4 (SET
// DATE: at 36).
//
// Run-time rules (decisions where the description leaves room):
//   - Every failure (a value that does not convert, a result outside
//     0001-01-01 .. 9999-12-31, a day count before day 1) is 102540 through
//     the run-time error handler and ends the instruction: the target keeps
//     its value.
//   - DATE ADD multiplies the count by the unit's factor in 64 bits; a count
//     with decimals is cut to its whole part, toward zero.
//   - DATE BTW in hundredths (units 1-4) divides the difference by the
//     factor truncating toward zero; the result is an 8-byte packed number
//     in the status record's DATE DIFFERENCE (bytes 47-54).
//   - SET DAY takes the weekday from the day number (cv_weekday: day 1 is
//     0001-01-01, a Monday).
//   - The text results (DATE_TO_ALP) are 32 bytes in scratch value 2; the
//     packed ones (DATE_TO_PD) 16 bytes in scratch value 1; register 2 then
//     points at them.
#pragma once

#include <cstdint>

#include "foundation/cvdat.h"
#include "language/ib.h"

// Opcodes.
constexpr uint16_t kOpSetDate = 200, kOpDateToPd = 202, kOpDateAddMm = 204, kOpDateAddDd = 206,
                   kOpDateAddTh = 208, kOpDateToLog = 210, kOpNumToDate = 212, kOpDateBtwMm = 214,
                   kOpDateBtwDd = 216, kOpAlpToDate = 218, kOpLogToDate = 220, kOpDateToDate = 222,
                   kOpDateBtwTh = 224, kOpSetDay = 226, kOpSetMnth = 228, kOpDateToAlp = 230;

// DATE ADD 204-209: the date at r1, the count at r2.
struct IbDateAdd {
  IbInst head;
  rec::U16 len;          // 4 instruction length
  rec::U16 zero;
  rec::U32 factor;       // 8
  rec::U8 num_type;      // 12 5, 8, 12
  rec::U8 num_len;       // 13
  rec::U8 num_signed;    // 14
  rec::U8 num_scale;     // 15
  DateDescRec d;         // 16
  // mask tokens at 48
};
QV_RECORD(IbDateAdd, 48);
QV_AT(IbDateAdd, factor, 8);
QV_AT(IbDateAdd, d, 16);
// DATE BTW 214, 216, 224: second (r2) minus first (r1).
struct IbDateBtw {
  IbInst head;
  rec::U16 len;          // 4
  rec::U16 zero;
  DateDescRec d1;        // 8
  DateDescRec d2;        // 40
  rec::U32 factor;       // 72
  // the first date's mask tokens at 76, then the second's
};
QV_RECORD(IbDateBtw, 76);
QV_AT(IbDateBtw, d1, 8);
QV_AT(IbDateBtw, d2, 40);
QV_AT(IbDateBtw, factor, 72);
// SET DATE 200: the date at r1.
struct IbSetDate {
  IbInst head;
  DateDescRec d;         // 4
  rec::U16 len;          // 36
  // mask tokens at 38
};
QV_RECORD(IbSetDate, 38);
QV_AT(IbSetDate, len, 36);
// SET DAY 226, SET MNTH 228: the alpha target at r1, the date at r2.
struct IbSetName {
  IbInst head;
  rec::U16 len;          // 4
  rec::U16 tgt_len;      // 6
  DateDescRec d;         // 8
  rec::U8 short_form;    // 40
  // mask tokens at 41
};
QV_RECORD(IbSetName, 41);
QV_AT(IbSetName, d, 8);
QV_AT(IbSetName, short_form, 40);
// The one-date conversions 202, 210, 212, 218, 220, 230 (the date at r1 as
// a target, at r2 as a source).
struct IbDateCnv {
  IbInst head;
  rec::U16 len;          // 4
  rec::U16 src_len;      // 6 ALP_TO_DATE: the text's length; NUM_TO_DATE: the number's
  DateDescRec d;         // 8
  rec::U8 src_type;      // 40 NUM_TO_DATE: 5, 8, 12
  rec::U8 src_signed;    // 41
  rec::U16 zero;
  // mask tokens at 44
};
QV_RECORD(IbDateCnv, 44);
QV_AT(IbDateCnv, d, 8);
QV_AT(IbDateCnv, src_type, 40);
// DATE_TO_DATE 222: the target's descriptor, then the source's.
struct IbDateToDate {
  IbInst head;
  rec::U16 len;          // 4
  rec::U16 zero;
  DateDescRec t;         // 8
  DateDescRec s;         // 40
  rec::U32 zero2;        // 72
  // the target's mask tokens at 76, then the source's
};
QV_RECORD(IbDateToDate, 76);
QV_AT(IbDateToDate, t, 8);
QV_AT(IbDateToDate, s, 40);

// A date operand as a builder takes it: its storage type (3, 4, 6, 7, 9, 10,
// 15), stored length and edit mask text (up to 60 characters, or to a NUL;
// blank or null: all units).
struct IbDateOp {
  uint8_t type = kDtStd;
  uint16_t len = 8;
  const char* mask = nullptr;
};
// Compiles the operand's mask: its descriptor and tokens (at most 60);
// false for a mask without a unit or a bad token.
bool ib_date_desc(const IbDateOp& op, DateDesc* d, uint8_t tokens[64]);

// Builders: null after a system error or a mask that does not compile.
uint8_t* bld_date_add(IbCode* code, const IbDateOp& date, uint8_t num_type, uint8_t num_len, bool num_signed,
                      uint8_t num_scale, uint32_t factor, uint16_t op);
uint8_t* bld_date_btw(IbCode* code, const IbDateOp& first, const IbDateOp& second, uint32_t factor, uint16_t op);
uint8_t* bld_set_date(IbCode* code, const IbDateOp& date);
uint8_t* bld_set_day(IbCode* code, uint16_t tgt_len, const IbDateOp& date, bool short_form, uint16_t op = kOpSetDay);
// DATE_TO_PD, DATE_TO_LOG, LOG_TO_DATE, DATE_TO_ALP (op), NUM_TO_DATE and
// ALP_TO_DATE (with the source's type, sign and length).
uint8_t* bld_cnv_date(IbCode* code, uint16_t op, const IbDateOp& date, uint8_t src_type = 0, bool src_signed = false,
                      uint16_t src_len = 0);
// DATE_TO_DATE; *none true (and nothing built) when the two ranges share no
// unit; a plain MOVE_CHAR when both are the same kind of date.
uint8_t* bld_date_to_date(IbCode* code, const IbDateOp& target, const IbDateOp& source, bool* none);

// The run-time error of a date that does not convert or leaves the calendar.
constexpr uint32_t kIiErrDate = 102540;
