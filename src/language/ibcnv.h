// CNV BIN and CNV TEXT: layouts and builders.
#pragma once

#include <cstdint>

#include "foundation/cv.h"
#include "language/ib.h"

struct IbCnvBinNA {       // CNV_BIN_N_A 752 (216): numeric target, alpha source
  IbInst head;
  rec::U8 type;           // target data type 5, 8, 12
  rec::U8 len;            // target length
  rec::U8 scale;          // target scale (0 for a constant source)
  rec::U8 unused;
  CvItem src;             // the source's conversion item
  rec::U8 src_len;
  rec::U8 is_const;
  rec::Bytes<2> unused2;
};
QV_RECORD(IbCnvBinNA, 216);
QV_AT(IbCnvBinNA, src, 8);
QV_AT(IbCnvBinNA, src_len, 212);
struct IbCnvBinAN {       // CNV_BIN_A_N 754 (220): alpha target, numeric source
  IbInst head;
  CvItem tgt;             // the target's conversion item
  rec::U8 len;            // target length
  rec::U8 src_type;       // 5, 8, 12
  rec::U8 src_len;
  rec::U8 src_scale;      // 0 for a constant
  rec::U8 is_const;
  rec::Bytes<3> unused;
  rec::U32 value;         // the constant
};
QV_RECORD(IbCnvBinAN, 220);
QV_AT(IbCnvBinAN, len, 208);
QV_AT(IbCnvBinAN, value, 216);
struct IbCnvText {        // CNV_TEXT 750 (260)
  IbInst head;
  rec::U32 shift;         // truth-level shift
  CvItem item;            // the field's conversion item; its addresses filled at each run
  rec::U8 elem_len;
  rec::U8 occ_mode;       // 1 the target's occurrences are counted, 2 the source's, 0 one value
  rec::U8 direction;      // 1 field to text, 0 text to field
  rec::U8 keep_len;
  rec::Text<22> name1;
  rec::Text<22> name2;
};
QV_RECORD(IbCnvText, 260);
QV_AT(IbCnvText, item, 8);
QV_AT(IbCnvText, elem_len, 212);
QV_AT(IbCnvText, name1, 216);
QV_AT(IbCnvText, name2, 238);

// A numeric or alpha operand of CNV BIN.
struct IbCnvOp {
  uint8_t type = 1;
  uint8_t len = 0;
  uint8_t scale = 0;
};
// CNV BIN with the target in register 1 and the source in register 2; item
// is the alpha operand's conversion item (null: none). A numeric source
// given as a constant carries its value. Null for a pair the statement
// does not take (the compiler's 102660) or an alpha source longer than 4
// bytes (102250).
uint8_t* bld_cnv_bin(IbCode* code, const IbCnvOp& target, const IbCnvOp& source, bool is_const,
                     uint32_t value, const CvItem* item);
// CNV TEXT: direction 1 field (register 2) to text (register 1), 0 text to
// field; item is the field's conversion item. Occurrence mode 1 (2): the
// operand in register 1 (2) has occurrences of elem_len bytes; its length
// register then holds elem_len times their number, and the other operand's
// length register that number times the step between its values (0: the
// one value for all).
uint8_t* bld_cnv_text(IbCode* code, uint32_t shift, const CvItem& item, uint8_t elem_len, int occ_mode,
                      int direction, bool keep_len, const char* name1, const char* name2);
