// Miscellaneous statements: COPY markers, PRINT and VERIFY; layouts,
// builders and the report services PRINT calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "language/ib.h"

struct Pcb;

struct IbCopy {           // COPY 460 (12)
  IbInst head;
  CodeRef end;            // after the copied block (not used when running)
  rec::U8 code;           // 6
  rec::Bytes<3> unused;
};
QV_RECORD(IbCopy, 12);
struct IbIraSum {         // IRA_SUM 184 (12)
  IbInst head;
  rec::U32 acc;           // accumulator number
  rec::U32 reg;
};
QV_RECORD(IbIraSum, 12);
struct IbIraBucket {      // IRA_BUCKET 186 (6)
  IbInst head;
  rec::U16 reg;
};
QV_RECORD(IbIraBucket, 6);
struct IbPrint {          // PRINT 470 (8)
  IbInst head;
  rec::U32 len;           // text length
};
QV_RECORD(IbPrint, 8);
struct IbVfy {            // VERIFY 48 (136)
  IbInst head;
  rec::U32 shift;         // truth-level shift of the statement
  rec::U16 len;           // field length
  rec::U8 tokens;         // 1: binary with a token table
  rec::U8 type;
  rec::Text<3> app;       // of the token table
  rec::U8 zero;
  rec::Text<22> token;    // token table name
  rec::U16 handle;        // token list, set on first run
  rec::U8 mode;           // failure mode 0-3
  rec::U8 digits;         // integer digits
  rec::U8 decimals;
  rec::U8 conds;          // 1: dictionary conditions were compiled before it
  rec::Text<30> name;     // field name, a zero byte after its last non-blank
  rec::Bytes<1> unused;
  rec::Bytes<60> date_mask;
  rec::U8 zero2;
};
QV_RECORD(IbVfy, 136);
QV_AT(IbVfy, handle, 38);
QV_AT(IbVfy, name, 44);
QV_AT(IbVfy, date_mask, 75);

// What a VERIFY builder takes from the field's element.
struct IbVfyField {
  uint8_t type = 1;
  uint16_t len = 0;
  uint8_t digits = 0, decimals = 0;
  const char* name = "";     // element name
  const char* token = "";    // token table (blank: none)
  bool is_signed = true;
  const char* date_mask = nullptr;  // dates: the edit mask text (null: all eight units)
};

uint8_t* bld_copy(IbCode* code, uint8_t kind = 6);   // RLOC_COPY; its end operand patched by the caller
uint8_t* bld_end_copy(IbCode* code);
uint8_t* bld_print(IbCode* code, uint32_t text_len);
uint8_t* bld_trap(IbCode* code);
// TOTAL's target: register reg at accumulator n, then at its current bucket.
uint8_t* bld_ira_sum(IbCode* code, uint32_t accumulator, int reg);
uint8_t* bld_ira_bucket(IbCode* code, int reg);
uint8_t* bld_nop(IbCode* code);
uint8_t* bld_ghost(IbCode* code);
uint8_t* bld_vfy(IbCode* code, const IbVfyField& f, uint8_t mode, const char* app, bool conds, uint32_t shift);

// A BROWSE record (28 bytes), one per detail record printed when the report
// keeps a BROWSE file, and what the BROWSE statement hands the report
// manager: the statement's record carries the image's report handle in
// the page word and the item's column in the third word.
struct IiBrowse {
  rec::U32 page;              // 0  page number
  rec::U16 line;              // 4  line on the page
  rec::U16 zero;              // 6  0 (the statement: the item's column)
  rec::Text<3> app;           // 8  the PCF's application
  rec::Text<8> file;          // 11 and file name
  rec::U8 spare;              // 19
  rec::U32 key_len;           // 20 always kIiBrowseKey
  Ref<uint8_t> key;           // 24 the PCF record's key, its segments one after another
};
QV_RECORD(IiBrowse, 28);
QV_AT(IiBrowse, app, 8);
QV_AT(IiBrowse, key_len, 20);
constexpr uint32_t kIiBrowseKey = 82;

// The print region PRINT hands to the report manager.
struct IiRegion {
  int number;            // 1
  int first;             // the first PRINT number (length register 2)
  int rows, width;
  uint8_t attr40, attr41;
  const char* text;      // rows x width characters
};
// The report manager's part of PRINT; until it registers, the stand-ins
// answer "no report".
struct IiReportSvc {
  bool (*has_report)(Pcb* pcb);                       // a report control block
  void (*finish_page)(Pcb* pcb);                      // op_finish_pg
  int (*print_region)(Pcb* pcb, const IiRegion* r);   // rm_exec_img, rm_empty, rm_write_img: 1 or 0
  void (*print_if_full)(Pcb* pcb);                    // op_prt_buf when the page is full
  // TOTAL: the 28-byte entry of accumulator n of the process's table, and
  // the 9-byte bucket of the current total level of an accumulator.
  uint8_t* (*accumulator)(Pcb* pcb, uint32_t n);
  uint8_t* (*bucket)(Pcb* pcb, uint8_t* accumulator);
  // The image statements on a report image (rm_upd_itm, rm_upd_chr): a
  // 228-byte item or a 40-byte characteristic whose first word is the
  // image's report handle; BROWSE's 28-byte record and its 82-byte key.
  // The stand-ins record each call (ii_rm_calls) and answer 1.
  int (*upd_itm)(Pcb* pcb, const uint8_t* item, uint32_t value, uint32_t select);
  int (*upd_chr)(Pcb* pcb, const uint8_t* chr, uint32_t value, uint32_t select);
  int (*browse)(Pcb* pcb, const uint8_t* rec, const uint8_t* key);
};
extern IiReportSvc ii_report_svc;
void ii_report_svc_reset();
// What the stand-ins of upd_itm, upd_chr and browse were given: kind 'I',
// 'C' or 'B', the report handle, the item's or characteristic's row and
// column, the masks (BROWSE: the record's left column as col), the key.
struct IiRmCall {
  char kind;
  uint32_t handle;
  int32_t row, col;
  uint32_t value, select;
  uint8_t colour;
  std::string key;
};
std::vector<IiRmCall>& ii_rm_calls();
