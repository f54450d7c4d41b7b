// Dictionary records: the stored layouts of an application's dictionary
// files, of the System Administration files and of the runtime records built
// on them.
//
// Each record is declared once here (or, for ELEMENT, TOKEN, MESSAGE and
// SYSDIR, in the header of the layer that reads it first: foundation/cv.h,
// foundation/la.h, files/fmcat.h) and used by field name everywhere
// (statement compiler, interpreter, statement text, bootstrap). The file
// catalogue (fmcat.h) describes the files that hold them.
//
// Field lists. Every record also has a field list (`DictField`: name,
// offset, width of one occurrence, data type, occurrences) that code walks:
// the bootstrap's byte-order conversion, the INITIAL and NULL images, the
// generator of the system applications' data and the test fixtures. A list
// is built from the struct itself (QV_FLD takes offset, width and
// occurrences from the member), and QV_FIELDS checks at compile time that
// the list covers the record exactly, in order, without gap or overlap, and
// that every width fits its data type. `dict_rec_find` looks a record up by
// its file name.
//
// Data types of the lists (the dictionary's own numbers):
//   1  text: flags and codes are text ('1', '0', blank), blank in both images
//   5  binary number, little-endian, 1, 2 or 4 bytes; 0 in both images
//   7  binary date (stamp): u32 words, day number then hundredths of the day
//      (4 or 8 bytes); 0 in the INITIAL image, all bits set in the NULL image
//   8  packed decimal; 0 in both images
//   0  opaque bytes (operand areas, record copies, bit maps): zero in both
//      images and never converted. The dictionary keeps them as type 0.
// The type drives the byte-order conversion of raw records and the images.
//
// Lengths and offsets that nothing else fixes are marked "decided here":
// they are this engine's choice, kept in stored files from now on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "files/fmcat.h"
#include "foundation/cv.h"
#include "foundation/la.h"
#include "foundation/record.h"

// ------------------------------------------------------- field lists --
constexpr uint8_t kFtOpaque = 0, kFtAlpha = 1, kFtBinary = 5, kFtDate = 7, kFtPacked = 8;

struct DictField {
  const char* name;   // the member's name, as the readable sources write it
  uint16_t offset;
  uint16_t width;     // bytes of one occurrence
  uint8_t type;       // kFt*
  uint16_t occurs;    // occurrences (1 for a plain field)
};

namespace dictfld {
template <class M>
constexpr uint16_t occ() {
  if constexpr (std::is_array_v<M>) return uint16_t(std::extent_v<M>);
  else return 1;
}
template <size_t N>
constexpr bool covers(const DictField (&f)[N], size_t size) {
  size_t at = 0;
  for (size_t i = 0; i < N; ++i) {
    if (f[i].offset != at || f[i].width == 0 || f[i].occurs == 0) return false;
    switch (f[i].type) {
      case kFtAlpha: case kFtOpaque: break;
      case kFtBinary: if (f[i].width != 1 && f[i].width != 2 && f[i].width != 4) return false; break;
      case kFtDate: if (f[i].width != 4 && f[i].width != 8) return false; break;
      case kFtPacked: if (f[i].width > 16) return false; break;
      default: return false;
    }
    at += size_t(f[i].width) * f[i].occurs;
  }
  return at == size;
}
}  // namespace dictfld

#define QV_FLD(T, f, type)                                                                  \
  DictField {                                                                               \
    #f, uint16_t(offsetof(T, f)), uint16_t(sizeof(std::remove_all_extents_t<decltype(T::f)>)), \
        uint8_t(type), dictfld::occ<decltype(T::f)>()                                       \
  }
// Declares the field list `name` of record T; fails to compile when it does
// not cover T exactly.
#define QV_FIELDS(T, name, ...)                                   \
  inline constexpr DictField name[] = {__VA_ARGS__};              \
  static_assert(dictfld::covers(name, sizeof(T)), "field list " #name " does not cover " #T)

// A record of the catalogue and its field list.
struct DictRecDesc {
  const char* file;        // file name (8, blank padded): "PROCESS "
  const char* builder;     // catalogue builder
  uint16_t size;           // record length (the maximum for variable records)
  const DictField* fields;
  int count;
};
// All records with a field list, and a look-up by file name or builder
// (null when unknown).
const DictRecDesc* dict_rec_table(int* count);
const DictRecDesc* dict_rec_find(const char* file_or_builder);
const DictField* dict_field_find(const DictRecDesc* r, const char* name);

// The print-option defaults kept by USER, DATABASE, DBXAP and SYSPARM (two
// 48-byte blocks each).
#define QV_PRINT_DFLT(p)                                                        \
  rec::Text<1> p##_on_screen; rec::Text<1> p##_print; rec::Text<1> p##_banner;  \
  rec::Text<1> p##_notify; rec::U8 p##_mode; rec::U8 p##_disp; rec::U16 p##_copies; \
  rec::Text<10> p##_priority; rec::Text<10> p##_name2; rec::Text<10> p##_name1;   \
  rec::Text<10> p##_format
#define QV_PRINT_FLDS(T, p)                                                              \
  QV_FLD(T, p##_on_screen, 1), QV_FLD(T, p##_print, 1), QV_FLD(T, p##_banner, 1),         \
  QV_FLD(T, p##_notify, 1), QV_FLD(T, p##_mode, 5), QV_FLD(T, p##_disp, 5),               \
  QV_FLD(T, p##_copies, 5), QV_FLD(T, p##_priority, 1), QV_FLD(T, p##_name2, 1),          \
  QV_FLD(T, p##_name1, 1), QV_FLD(T, p##_format, 1)

// STMT: one stored 4GL statement (152 bytes, fixed). The key is the first 52
// bytes (11 segments): the owner (process, frame, image or child invocation),
// the event point and the sequence number, so that the statements of one owner
// at one event point are one run of records in sequence order.
struct DStmt {
  rec::U8 proc_type;          // 0   process type 1 Menu .. 10 Status
  rec::Text<30> proc_name;    // 1   process name
  rec::U8 frame_class;        // 31  owning frame's class (0: process event point)
  rec::U32 frame_no;          // 32  owning frame's number (0: process event point)
  rec::U8 image_no;           // 36  owning image (0: none)
  rec::U8 child_disc;         // 37  owning child invocation: CHILD key byte 37
  rec::Text<2> blank38;       // 38  two blanks
  rec::U32 child_no;          // 40  owning child invocation: CHILD key bytes 40-43
  rec::U8 event_point;        // 44  event point code; 82 ('R') generated constraints
  rec::Text<3> blank45;       // 45  three blanks
  rec::U32 seq;               // 48  sequence: position in the event point x 100
  rec::Bytes<4> b52;          // 52  not read by the compiler or interpreter
  rec::Bytes<8> added;        // 56  stamp: when the statement was added
  rec::Bytes<8> changed;      // 64  stamp: when it was last changed
  rec::Text<3> added_by;      // 72  user who added it
  rec::Text<3> changed_by;    // 75  user who changed it
  rec::Text<5> tf;            // 78  T/F column, levels 1-5 ('T'/'1', 'F'/'0', blank);
                              //     'C' at level 1: not compiled
  rec::Text<1> blank83;       // 83
  rec::U16 verb;              // 84  verb code 0-104
  rec::Bytes<2> b86;          // 86  not read by the compiler or interpreter
  rec::Bytes<64> ops;         // 88  operand area, laid out per verb
};
QV_RECORD(DStmt, 152);
QV_AT(DStmt, frame_no, 32);
QV_AT(DStmt, child_no, 40);
QV_AT(DStmt, event_point, 44);
QV_AT(DStmt, seq, 48);
QV_AT(DStmt, added, 56);
QV_AT(DStmt, tf, 78);
QV_AT(DStmt, verb, 84);
QV_AT(DStmt, ops, 88);

constexpr int DSTMT_KEY_LEN = 52;
constexpr uint8_t DSTMT_EP_CONSTRAINT = 82;  // 'R'

// ERROR DISPLAY: the record handed to the runtime's error display (1,265
// bytes, memory-resident). A message shown through it is a record of blanks
// with `msg_flag` 255 and the text at `msg_text`. The executors give the
// other bytes their meaning.
struct ErrDisplay {
  rec::Bytes<48> head;        // 0
  rec::U8 msg_flag;           // 48  255: a message record
  rec::Text<608> msg_text;    // 49  message text
  rec::Bytes<608> tail;       // 657
};
QV_RECORD(ErrDisplay, 1265);
QV_AT(ErrDisplay, msg_flag, 48);
QV_AT(ErrDisplay, msg_text, 49);

QV_FIELDS(DStmt, kFldStmt, QV_FLD(DStmt, proc_type, 5), QV_FLD(DStmt, proc_name, 1),
          QV_FLD(DStmt, frame_class, 5), QV_FLD(DStmt, frame_no, 5), QV_FLD(DStmt, image_no, 5),
          QV_FLD(DStmt, child_disc, 5), QV_FLD(DStmt, blank38, 1), QV_FLD(DStmt, child_no, 5),
          QV_FLD(DStmt, event_point, 5), QV_FLD(DStmt, blank45, 1), QV_FLD(DStmt, seq, 5),
          QV_FLD(DStmt, b52, 0), QV_FLD(DStmt, added, 7), QV_FLD(DStmt, changed, 7),
          QV_FLD(DStmt, added_by, 1), QV_FLD(DStmt, changed_by, 1), QV_FLD(DStmt, tf, 1),
          QV_FLD(DStmt, blank83, 1), QV_FLD(DStmt, verb, 5), QV_FLD(DStmt, b86, 0),
          QV_FLD(DStmt, ops, 0));
QV_FIELDS(ErrDisplay, kFldErrDisplay, QV_FLD(ErrDisplay, head, 1), QV_FLD(ErrDisplay, msg_flag, 5),
          QV_FLD(ErrDisplay, msg_text, 1), QV_FLD(ErrDisplay, tail, 1));

// =================================================== design dictionary ==

// PROCESS: a process definition (440 bytes; key process type and name).
struct DProc {
  rec::U8 proc_type;          // 0   1 Menu .. 10 Status (12: compiles a PCF)
  rec::Text<30> proc_name;    // 1
  rec::Text<1> flag31;        // 31  '1' flag copied into the module
  rec::Text<7> b32;           // 32  decided here: not used, blank
  rec::Text<30> title;        // 39  shown instead of the name when not blank
  rec::U8 proc_class;         // 69
  rec::Text<1> save_flag;     // 70  '0' never saved, '1' always, other: defaults
  rec::U8 retention;          // 71  cache retention 0-255 (101 and above: resident)
  rec::Bytes<8> added;        // 72  stamp of the definition
  rec::Bytes<8> changed;      // 80  modification stamp (kept by COPY)
  rec::Text<1> b88;           // 88
  rec::Text<1> b89;           // 89  copied into the module
  rec::Text<4> secr[4];       // 90  four security codes
  rec::Text<1> flag106[3];    // 106 three '1' flags
  rec::U8 default_mode;       // 109 the mode an Input process starts in, 1-254 (0: none)
  rec::Text<1> b110;          // 110 '0': the PCF's CFI byte 47 is cleared
  rec::Text<3> pcf_app;       // 111 application of the process's own file
  rec::Text<8> pcf_file;      // 114 its file name
  rec::Text<11> b122;         // 122 decided here: not used, blank
  rec::Text<22> pcf_key;      // 133 PCF key field name (blank: none)
  rec::Text<22> seq_field;    // 155 the PCF's sequence-number field name (blank: none)
  rec::Text<1> auto_readnext; // 177 default of AUTO READNEXT: '1', '0', blank none
  rec::Text<1> exact_key;     // 178 default of EXACT KEY REQUIRED: '1', '0', blank none
  rec::U16 w179;              // 179 copied
  rec::Text<1> b181;          // 181 copied
  rec::Text<30> b182;         // 182 copied
  rec::Text<1> cancel_ok;     // 212 default of CANCEL OK: '1', '0', blank none
  rec::Text<3> rpt_app;       // 213 report process application
  rec::Text<30> rpt_name;     // 216 report process name
  rec::Text<60> text246;      // 246 copied
  rec::U16 w306;              // 306
  rec::Text<60> title60;      // 308 title of Output and Inquiry processes
  rec::Text<8> name368;       // 368 decided here: text (the restructure writes a file name)
  rec::Text<1> flag376[2];    // 376 two '1' flags
  rec::Text<2> b378;          // 378
  rec::Text<1> flag380[2];    // 380 two '1' flags
  rec::Text<1> b382;          // 382
  rec::Text<1> b383;          // 383
  rec::Text<56> spare;        // 384 decided here: not used, blank
};
QV_RECORD(DProc, 440);
QV_AT(DProc, title, 39);
QV_AT(DProc, added, 72);
QV_AT(DProc, changed, 80);
QV_AT(DProc, secr, 90);
QV_AT(DProc, pcf_app, 111);
QV_AT(DProc, pcf_key, 133);
QV_AT(DProc, rpt_app, 213);
QV_AT(DProc, text246, 246);
QV_AT(DProc, title60, 308);
QV_AT(DProc, name368, 368);
QV_AT(DProc, b383, 383);
QV_FIELDS(DProc, kFldProc, QV_FLD(DProc, proc_type, 5), QV_FLD(DProc, proc_name, 1),
          QV_FLD(DProc, flag31, 1), QV_FLD(DProc, b32, 1), QV_FLD(DProc, title, 1),
          QV_FLD(DProc, proc_class, 5), QV_FLD(DProc, save_flag, 1), QV_FLD(DProc, retention, 5),
          QV_FLD(DProc, added, 7), QV_FLD(DProc, changed, 7), QV_FLD(DProc, b88, 1),
          QV_FLD(DProc, b89, 1), QV_FLD(DProc, secr, 1), QV_FLD(DProc, flag106, 1),
          QV_FLD(DProc, default_mode, 5), QV_FLD(DProc, b110, 1), QV_FLD(DProc, pcf_app, 1),
          QV_FLD(DProc, pcf_file, 1), QV_FLD(DProc, b122, 1), QV_FLD(DProc, pcf_key, 1),
          QV_FLD(DProc, seq_field, 1), QV_FLD(DProc, auto_readnext, 1), QV_FLD(DProc, exact_key, 1),
          QV_FLD(DProc, w179, 5), QV_FLD(DProc, b181, 1), QV_FLD(DProc, b182, 1),
          QV_FLD(DProc, cancel_ok, 1), QV_FLD(DProc, rpt_app, 1), QV_FLD(DProc, rpt_name, 1),
          QV_FLD(DProc, text246, 1), QV_FLD(DProc, w306, 5), QV_FLD(DProc, title60, 1),
          QV_FLD(DProc, name368, 1), QV_FLD(DProc, flag376, 1), QV_FLD(DProc, b378, 1),
          QV_FLD(DProc, flag380, 1), QV_FLD(DProc, b382, 1), QV_FLD(DProc, b383, 1),
          QV_FLD(DProc, spare, 1));

// The owner key shared by the screen records: process type and name, frame
// code and number.
#define QV_OWNER_FIELDS                                                          \
  rec::U8 proc_type;        /* 0  */                                             \
  rec::Text<30> proc_name;  /* 1  */                                             \
  rec::U8 frame_code;       /* 31 frame code (class) */                          \
  rec::U32 frame_no         /* 32 */
#define QV_OWNER_FLDS(T)                                                          \
  QV_FLD(T, proc_type, 5), QV_FLD(T, proc_name, 1), QV_FLD(T, frame_code, 5),       \
      QV_FLD(T, frame_no, 5)

// FRAME: one frame of a process (976 bytes; key the owner, bytes 0-35).
struct DFrame {
  QV_OWNER_FIELDS;
  rec::Text<30> b36;          // 36  decided here: not used, blank
  rec::U8 mode;               // 66  repeat mode 1-3
  rec::Text<1> interactive;   // 67  '1' interactive
  rec::I32 pos[4];            // 68  row, column, rows, columns (0 centres; negative from the far edge)
  rec::U8 stack;              // 84  0-4: images at the frame's origin, stacked
  rec::Text<1> flag85[3];     // 85
  rec::U8 b88;                // 88
  rec::Text<1> flag89;        // 89
  rec::Text<1> flag90[5];     // 90
  rec::U8 b95[2];             // 95
  rec::Text<1> flag97[2];     // 97
  rec::U8 b99;                // 99  0-2
  rec::U8 b100;               // 100
  rec::Text<1> flag101[2];    // 101
  rec::Text<3> grp_app;       // 103 frame group: application (blank: none)
  rec::Text<22> grp_name;     // 106 frame group: name
  rec::U16 grp_no;            // 128
  rec::Text<1> b130;          // 130 decided here: not used, blank
  rec::Text<1> flag131;       // 131 frame codes 8 and 9
  rec::U32 w132;              // 132
  rec::Text<800> text;        // 136 frame text (frame codes 8 and 9)
  rec::Text<40> spare;        // 936 decided here: not used, blank
};
QV_RECORD(DFrame, 976);
QV_AT(DFrame, frame_no, 32);
QV_AT(DFrame, mode, 66);
QV_AT(DFrame, pos, 68);
QV_AT(DFrame, stack, 84);
QV_AT(DFrame, grp_app, 103);
QV_AT(DFrame, grp_no, 128);
QV_AT(DFrame, text, 136);
QV_FIELDS(DFrame, kFldFrame, QV_OWNER_FLDS(DFrame), QV_FLD(DFrame, b36, 1), QV_FLD(DFrame, mode, 5),
          QV_FLD(DFrame, interactive, 1), QV_FLD(DFrame, pos, 5), QV_FLD(DFrame, stack, 5),
          QV_FLD(DFrame, flag85, 1), QV_FLD(DFrame, b88, 5), QV_FLD(DFrame, flag89, 1),
          QV_FLD(DFrame, flag90, 1), QV_FLD(DFrame, b95, 5), QV_FLD(DFrame, flag97, 1),
          QV_FLD(DFrame, b99, 5), QV_FLD(DFrame, b100, 5), QV_FLD(DFrame, flag101, 1),
          QV_FLD(DFrame, grp_app, 1), QV_FLD(DFrame, grp_name, 1), QV_FLD(DFrame, grp_no, 5),
          QV_FLD(DFrame, b130, 1), QV_FLD(DFrame, flag131, 1), QV_FLD(DFrame, w132, 5),
          QV_FLD(DFrame, text, 1), QV_FLD(DFrame, spare, 1));

// IMAGE: one image of a frame (228 bytes; key the owner and image number).
struct DImage {
  QV_OWNER_FIELDS;
  rec::U32 image_no;          // 36  (the key uses byte 36)
  rec::Text<27> b40;          // 40  decided here: not used, blank
  rec::Text<1> flag67[2];     // 67
  rec::Text<1> flag69;        // 69
  rec::U8 b70;                // 70
  rec::Text<1> b71;           // 71  decided here: not used, blank
  rec::I32 pos[4];            // 72  row, column, rows, columns (32767 = not given)
  rec::I32 row_step;          // 88  (32767 = 0)
  rec::I32 col_step;          // 92  (32767 = 0)
  rec::U8 b96;                // 96
  rec::U8 b97[2];             // 97
  rec::Text<1> flag99[2];     // 99
  rec::U8 b101;               // 101
  rec::Text<2> b102;          // 102 decided here: not used, blank
  rec::Text<80> b104;         // 104 copied into the compiled image
  rec::Text<44> spare;        // 184 decided here: not used, blank
};
QV_RECORD(DImage, 228);
QV_AT(DImage, image_no, 36);
QV_AT(DImage, flag67, 67);
QV_AT(DImage, pos, 72);
QV_AT(DImage, row_step, 88);
QV_AT(DImage, b101, 101);
QV_AT(DImage, b104, 104);
QV_FIELDS(DImage, kFldImage, QV_OWNER_FLDS(DImage), QV_FLD(DImage, image_no, 5),
          QV_FLD(DImage, b40, 1), QV_FLD(DImage, flag67, 1), QV_FLD(DImage, flag69, 1),
          QV_FLD(DImage, b70, 5), QV_FLD(DImage, b71, 1), QV_FLD(DImage, pos, 5),
          QV_FLD(DImage, row_step, 5), QV_FLD(DImage, col_step, 5), QV_FLD(DImage, b96, 5),
          QV_FLD(DImage, b97, 5), QV_FLD(DImage, flag99, 1), QV_FLD(DImage, b101, 5),
          QV_FLD(DImage, b102, 1), QV_FLD(DImage, b104, 1), QV_FLD(DImage, spare, 1));

// ROW: one screen row of an image (variable, at most 296 bytes; key the
// owner, the image number, bytes 37-39 and the row number). The text runs
// from byte 44 to the record's end.
struct DRow {
  QV_OWNER_FIELDS;
  rec::U8 image_no;           // 36
  rec::Text<3> b37;           // 37  blank
  rec::U32 row_no;            // 40
  rec::Text<252> text;        // 44
};
QV_RECORD(DRow, 296);
QV_AT(DRow, row_no, 40);
QV_AT(DRow, text, 44);
constexpr int DROW_HEAD = 44;
QV_FIELDS(DRow, kFldRow, QV_OWNER_FLDS(DRow), QV_FLD(DRow, image_no, 5), QV_FLD(DRow, b37, 1),
          QV_FLD(DRow, row_no, 5), QV_FLD(DRow, text, 1));

// CHR: a run of fixed text with display attributes (64 bytes; key the
// owner, image, row and column). The flags hold '1' where the run takes the
// attribute; the colour byte is foreground * 16 + background (0 or blank:
// the terminal's own).
struct DChr {
  QV_OWNER_FIELDS;
  rec::U8 image_no;           // 36
  rec::Text<3> b37;           // 37  blank
  rec::U32 row;               // 40  row within the image
  rec::U32 col;               // 44  column
  rec::U32 rows;              // 48
  rec::U32 cols;              // 52  width in columns
  rec::Text<1> dim;           // 56
  rec::Text<1> uline;         // 57
  rec::Text<1> bright;        // 58
  rec::Text<1> inverse;       // 59
  rec::U8 colour;             // 60
  rec::Text<1> box;           // 61  a box (a line when one row or column high)
  rec::Text<2> spare;         // 62  decided here: not used, blank
};
QV_RECORD(DChr, 64);
QV_AT(DChr, row, 40);
QV_AT(DChr, cols, 52);
QV_AT(DChr, dim, 56);
QV_AT(DChr, colour, 60);
QV_AT(DChr, box, 61);
QV_FIELDS(DChr, kFldChr, QV_OWNER_FLDS(DChr), QV_FLD(DChr, image_no, 5), QV_FLD(DChr, b37, 1),
          QV_FLD(DChr, row, 5), QV_FLD(DChr, col, 5), QV_FLD(DChr, rows, 5), QV_FLD(DChr, cols, 5),
          QV_FLD(DChr, dim, 1), QV_FLD(DChr, uline, 1), QV_FLD(DChr, bright, 1), QV_FLD(DChr, inverse, 1),
          QV_FLD(DChr, colour, 5), QV_FLD(DChr, box, 1), QV_FLD(DChr, spare, 1));

// ITEM: one field shown on an image (204 bytes; key the owner, image, row
// and column).
struct DItem {
  QV_OWNER_FIELDS;
  rec::U32 image_no;          // 36  (the key reads byte 36, then 37-39 as text)
  rec::U32 row;               // 40  row within the image
  rec::U32 col;               // 44  column
  rec::Text<8> b48;           // 48  decided here: not used, blank
  rec::U8 display;            // 56  display value
  rec::Text<1> flag57;        // 57
  rec::Text<1> flag58;        // 58
  rec::U8 use;                // 59  item use (2, 3 look-up display, 4 summary)
  rec::Text<1> flag60;        // 60
  rec::Text<3> app;           // 61  application of the field
  rec::Text<22> field;        // 64  field name
  rec::U16 occ;               // 86  occurrence (0 taken as 1)
  rec::Text<1> input;         // 88  '0', '1' or blank
  rec::Text<1> dflag[5];      // 89  display flags
  rec::U8 colour;             // 94
  rec::U8 lk_mode;            // 95  0 none, 1 look-up key item, 2 further item
  rec::Text<3> lk_app;        // 96
  rec::Text<8> lk_file;       // 99
  rec::Text<22> lk_key;       // 107
  rec::Text<1> lk_flag[3];    // 129
  rec::Text<1> b132;          // 132
  rec::Text<60> mask;         // 133 edit mask (blank: the field's own)
  rec::Text<2> b193;          // 193 decided here: not used, blank
  rec::Text<1> pcf_key;       // 195 '1': key item of the PCF
  rec::U32 init_key;          // 196 initial key value
  rec::Text<1> b200;          // 200 decided here: not used, blank
  rec::U8 b201;               // 201
  rec::U8 total;              // 202 0 none, 1 add, 2 the other total kind
  rec::U8 b203;               // 203
};
QV_RECORD(DItem, 204);
QV_AT(DItem, display, 56);
QV_AT(DItem, app, 61);
QV_AT(DItem, occ, 86);
QV_AT(DItem, colour, 94);
QV_AT(DItem, lk_key, 107);
QV_AT(DItem, mask, 133);
QV_AT(DItem, pcf_key, 195);
QV_AT(DItem, b203, 203);
QV_FIELDS(DItem, kFldItem, QV_OWNER_FLDS(DItem), QV_FLD(DItem, image_no, 5), QV_FLD(DItem, row, 5),
          QV_FLD(DItem, col, 5), QV_FLD(DItem, b48, 1), QV_FLD(DItem, display, 5),
          QV_FLD(DItem, flag57, 1), QV_FLD(DItem, flag58, 1), QV_FLD(DItem, use, 5),
          QV_FLD(DItem, flag60, 1), QV_FLD(DItem, app, 1), QV_FLD(DItem, field, 1),
          QV_FLD(DItem, occ, 5), QV_FLD(DItem, input, 1), QV_FLD(DItem, dflag, 1),
          QV_FLD(DItem, colour, 5), QV_FLD(DItem, lk_mode, 5), QV_FLD(DItem, lk_app, 1),
          QV_FLD(DItem, lk_file, 1), QV_FLD(DItem, lk_key, 1), QV_FLD(DItem, lk_flag, 1),
          QV_FLD(DItem, b132, 1), QV_FLD(DItem, mask, 1), QV_FLD(DItem, b193, 1), QV_FLD(DItem, pcf_key, 1),
          QV_FLD(DItem, init_key, 5), QV_FLD(DItem, b200, 1), QV_FLD(DItem, b201, 5),
          QV_FLD(DItem, total, 5), QV_FLD(DItem, b203, 5));

// CHILD: a child invocation of a frame or image (188 bytes; key the owner,
// image, discriminator, bytes 38-39 and the child number). A menu option is
// a child whose number is the option number.
struct DChild {
  QV_OWNER_FIELDS;
  rec::U8 image_no;           // 36  0: the child belongs to the frame
  rec::U8 disc;               // 37  discriminator
  rec::Text<2> b38;           // 38  blank
  rec::U32 child_no;          // 40  child (option) number
  rec::U8 ch_type;            // 44  process type of the child
  rec::Text<3> ch_app;        // 45
  rec::Text<30> ch_name;      // 48
  rec::Text<2> label;         // 78  into the invocation's label
  rec::Text<2> b80;           // 80  decided here: not used, blank
  rec::U8 display;            // 82  display value
  rec::U8 kind;               // 83  invocation kind 0-2
  rec::U8 reaction;           // 84  reaction to the child's result
  rec::U8 caller_mode;        // 85
  rec::Text<1> flag86;        // 86
  rec::Text<1> flag87;        // 87
  rec::Text<3> cns_app;       // 88  application of the constraint field (blank: none)
  rec::Text<22> cns_field;    // 91
  rec::U8 b113;               // 113 the child's mode
  rec::Text<1> flag114;       // 114
  rec::Text<1> flag115;       // 115
  rec::Text<3> q_app;         // 116 query application
  rec::Text<30> q_name;       // 119 query name
  rec::U8 q_reuse;            // 149 query reuse mode
  rec::Text<1> flag150;       // 150
  rec::Text<37> spare;        // 151 decided here: not used, blank
};
QV_RECORD(DChild, 188);
QV_AT(DChild, child_no, 40);
QV_AT(DChild, ch_name, 48);
QV_AT(DChild, display, 82);
QV_AT(DChild, cns_field, 91);
QV_AT(DChild, q_name, 119);
QV_AT(DChild, flag150, 150);
QV_FIELDS(DChild, kFldChild, QV_OWNER_FLDS(DChild), QV_FLD(DChild, image_no, 5),
          QV_FLD(DChild, disc, 5), QV_FLD(DChild, b38, 1), QV_FLD(DChild, child_no, 5),
          QV_FLD(DChild, ch_type, 5), QV_FLD(DChild, ch_app, 1), QV_FLD(DChild, ch_name, 1),
          QV_FLD(DChild, label, 1), QV_FLD(DChild, b80, 1), QV_FLD(DChild, display, 5),
          QV_FLD(DChild, kind, 5), QV_FLD(DChild, reaction, 5), QV_FLD(DChild, caller_mode, 5),
          QV_FLD(DChild, flag86, 1), QV_FLD(DChild, flag87, 1), QV_FLD(DChild, cns_app, 1),
          QV_FLD(DChild, cns_field, 1), QV_FLD(DChild, b113, 5), QV_FLD(DChild, flag114, 1),
          QV_FLD(DChild, flag115, 1), QV_FLD(DChild, q_app, 1), QV_FLD(DChild, q_name, 1),
          QV_FLD(DChild, q_reuse, 5), QV_FLD(DChild, flag150, 1), QV_FLD(DChild, spare, 1));

// SELECT: one selection line of a query process (144 bytes; key the owner
// key of the screen records and the line number). Decided here beyond the
// key: the line carries what the compiled selection line takes from it.
struct DSelect {
  QV_OWNER_FIELDS;
  rec::U8 image_no;           // 36
  rec::Text<3> b37;           // 37
  rec::U32 b40;               // 40
  rec::U32 line;              // 44  line number
  rec::U8 text_kind;          // 48  8 or 9
  rec::Text<3> b49;           // 49
  rec::U16 l_occ;             // 52  left field: occurrence
  rec::Text<3> l_app;         // 54  application
  rec::Text<22> l_field;      // 57  name
  rec::U16 r_occ;             // 79  right field: occurrence
  rec::Text<3> r_app;         // 81  application (blank: the right operand is a value)
  rec::Text<30> r_value;      // 84  field name or value
  rec::U8 relation;           // 114 1-7, 255 none
  rec::Text<29> spare;        // 115
};
QV_RECORD(DSelect, 144);
QV_AT(DSelect, line, 44);
QV_AT(DSelect, relation, 114);
QV_FIELDS(DSelect, kFldSelect, QV_OWNER_FLDS(DSelect), QV_FLD(DSelect, image_no, 5),
          QV_FLD(DSelect, b37, 1), QV_FLD(DSelect, b40, 5), QV_FLD(DSelect, line, 5),
          QV_FLD(DSelect, text_kind, 5), QV_FLD(DSelect, b49, 1), QV_FLD(DSelect, l_occ, 5),
          QV_FLD(DSelect, l_app, 1), QV_FLD(DSelect, l_field, 1), QV_FLD(DSelect, r_occ, 5),
          QV_FLD(DSelect, r_app, 1), QV_FLD(DSelect, r_value, 1), QV_FLD(DSelect, relation, 5),
          QV_FLD(DSelect, spare, 1));

// SORT: one sort line of a query process (108 bytes; key the owner and the
// sequence). Decided here beyond the key: laid out as the sort line the
// query keeps (sequence, field, level count, flags, break flag).
struct DSort {
  QV_OWNER_FIELDS;
  rec::U32 seq;               // 36  sequence (0: no field)
  rec::Text<3> app;           // 40  application of the sort field
  rec::Text<22> field;        // 43  field name
  rec::Text<1> order;         // 65  '+' or '-'
  rec::U16 levels;            // 66  level count
  rec::U16 occ;               // 68  occurrence
  rec::Text<1> flag70[5];     // 70
  rec::Text<12> b75;          // 75
  rec::Text<1> brk;           // 87  '1' break; '0' switched off
  rec::Text<20> spare;        // 88
};
QV_RECORD(DSort, 108);
QV_AT(DSort, seq, 36);
QV_AT(DSort, levels, 66);
QV_AT(DSort, brk, 87);
QV_FIELDS(DSort, kFldSort, QV_OWNER_FLDS(DSort), QV_FLD(DSort, seq, 5), QV_FLD(DSort, app, 1),
          QV_FLD(DSort, field, 1), QV_FLD(DSort, order, 1), QV_FLD(DSort, levels, 5),
          QV_FLD(DSort, occ, 5), QV_FLD(DSort, flag70, 1), QV_FLD(DSort, b75, 1),
          QV_FLD(DSort, brk, 1), QV_FLD(DSort, spare, 1));

// FILE: the compiled definition of a file (304 bytes; keys name, area
// number at 100, area number at 104).
#define QV_FILE_HEAD                                                                  \
  rec::Text<8> name;          /* 0   file name */                                     \
  rec::Text<4> b8;            /* 8   decided here: not used, blank */                 \
  rec::U8 ftype;              /* 12  file type (file class: 1 disk, 2 memory) */      \
  rec::U8 org;                /* 13  organisation: 1 single, 2 plain, 3 keyed */      \
  rec::Text<1> b14;           /* 14  '1': a memory-resident file (no data file) */    \
  rec::Text<1> b15;           /* 15 */                                                \
  rec::Text<1> b16;           /* 16 */                                                \
  rec::Text<1> b17;           /* 17 */                                                \
  rec::Text<1> var;           /* 18  '1' variable-length records */                   \
  rec::Text<1> b19;           /* 19 */                                                \
  rec::Text<1> flag20;        /* 20  FDB flag 2 */                                    \
  rec::Text<1> flag21;        /* 21  FDB flag 4 */                                    \
  rec::Text<30> desc;         /* 22  decided here: description */                     \
  rec::Text<1> b52;           /* 52 */                                                \
  rec::Text<30> proc;         /* 53  process shown by browse */                       \
  rec::Text<4> secr[3];       /* 83  three security codes */                          \
  rec::U8 b95;                /* 95 */                                                \
  rec::U8 share[2];           /* 96  share codes (area classes) */                    \
  rec::U16 rec_len;           /* 98  record length */                                 \
  rec::U32 area;              /* 100 area number */                                   \
  rec::U32 area2;             /* 104 second area number */                            \
  rec::Text<8> b108;          /* 108 decided here: not used, blank */                 \
  rec::Bytes<8> stamp;        /* 116 definition stamp (compared by saved modules) */  \
  rec::Bytes<8> cmpl_stamp;   /* 124 compile stamp */                                 \
  rec::Bytes<8> struct_stamp; /* 132 structure stamp */                               \
  rec::U32 usage[10];         /* 140 special-usage slots */                           \
  rec::U8 key_count;          /* 180 */                                               \
  rec::U8 seg_count[17]       /* 181 segments per key */
#define QV_FILE_HEAD_FLDS(T)                                                              \
  QV_FLD(T, name, 1), QV_FLD(T, b8, 1), QV_FLD(T, ftype, 5), QV_FLD(T, org, 5),             \
      QV_FLD(T, b14, 1), QV_FLD(T, b15, 1), QV_FLD(T, b16, 1), QV_FLD(T, b17, 1),           \
      QV_FLD(T, var, 1), QV_FLD(T, b19, 1), QV_FLD(T, flag20, 1), QV_FLD(T, flag21, 1),     \
      QV_FLD(T, desc, 1), QV_FLD(T, b52, 1), QV_FLD(T, proc, 1), QV_FLD(T, secr, 1),        \
      QV_FLD(T, b95, 5), QV_FLD(T, share, 5), QV_FLD(T, rec_len, 5), QV_FLD(T, area, 5),    \
      QV_FLD(T, area2, 5), QV_FLD(T, b108, 1), QV_FLD(T, stamp, 7), QV_FLD(T, cmpl_stamp, 7), \
      QV_FLD(T, struct_stamp, 7), QV_FLD(T, usage, 5), QV_FLD(T, key_count, 5),             \
      QV_FLD(T, seg_count, 5)
struct DFile {
  QV_FILE_HEAD;
  rec::U16 key_len[17];       // 198 key lengths
  rec::U32 key_elem[17];      // 232 element number of each key's field
  rec::Text<1> flag300;       // 300 '1' compiled
  rec::Text<1> xlate;         // 301 '1': the file's records are translated
  rec::Text<2> spare;         // 302 decided here: not used, blank
};
QV_RECORD(DFile, 304);
QV_AT(DFile, ftype, 12);
QV_AT(DFile, var, 18);
QV_AT(DFile, proc, 53);
QV_AT(DFile, secr, 83);
QV_AT(DFile, share, 96);
QV_AT(DFile, rec_len, 98);
QV_AT(DFile, area, 100);
QV_AT(DFile, stamp, 116);
QV_AT(DFile, cmpl_stamp, 124);
QV_AT(DFile, struct_stamp, 132);
QV_AT(DFile, usage, 140);
QV_AT(DFile, key_count, 180);
QV_AT(DFile, key_len, 198);
QV_AT(DFile, key_elem, 232);
QV_AT(DFile, flag300, 300);
QV_FIELDS(DFile, kFldFile, QV_FILE_HEAD_FLDS(DFile), QV_FLD(DFile, key_len, 5),
          QV_FLD(DFile, key_elem, 5), QV_FLD(DFile, flag300, 1), QV_FLD(DFile, xlate, 1),
          QV_FLD(DFile, spare, 1));

// RECORD: the design form of a file definition (212 bytes, key name): the
// first 212 bytes of FILE.
struct DRecord {
  QV_FILE_HEAD;
  rec::U16 key_len[7];        // 198 the first seven key lengths
};
QV_RECORD(DRecord, 212);
QV_AT(DRecord, key_len, 198);
QV_FIELDS(DRecord, kFldRecord, QV_FILE_HEAD_FLDS(DRecord), QV_FLD(DRecord, key_len, 5));

// FIELD: the design form of a field (604 bytes; keys name; byte 4 and name;
// area number; file name and element number; entry kind and domain name).
// Its first 300 bytes are laid out as ELEMENT (foundation/cv.h).
struct DField {
  rec::U32 area;              // 0
  rec::Text<1> work;          // 4   '1' work field, '0' file field
  rec::Text<22> name;         // 5
  rec::U8 kind;               // 27  entry kind 1-5
  rec::Text<22> domain;       // 28  domain, or base / last field
  rec::U16 offset;            // 50
  rec::U16 length;            // 52
  rec::U16 occurs;            // 54
  rec::Text<8> file;          // 56
  rec::U32 number;            // 64
  rec::Bytes<8> ident_stamp;  // 68
  rec::Bytes<8> stamp2;       // 76
  rec::Bytes<8> cmpl_stamp;   // 84  a work field's element stamp
  rec::Text<1> flag92;        // 92
  rec::U8 b93;                // 93
  rec::U8 b94;                // 94
  rec::Text<30> label;        // 95
  rec::Text<30> heading1;     // 125
  rec::Text<30> heading2;     // 155
  rec::U8 b185;               // 185
  rec::U8 share_a;            // 186
  rec::U8 share_b;            // 187
  rec::U8 usage;              // 188
  rec::U8 key_kind;           // 189 0 primary, 1-254 alternate, 255 none
  rec::U8 key_no;             // 190
  rec::Text<1> key_order;     // 191
  rec::Text<1> key_dups;      // 192
  rec::U8 low_given;          // 193
  rec::U8 high_given;         // 194
  rec::Text<30> low;          // 195
  rec::Text<30> high;         // 225
  rec::Text<3> ref_app;       // 255
  rec::Text<8> ref_file;      // 258
  rec::Text<22> ref_field;    // 266
  rec::Text<4> code1;         // 288
  rec::Text<4> code2;         // 292
  rec::Text<4> code3;         // 296
  rec::Text<123> b300;        // 300 decided here: not used, blank
  rec::Text<60> initial;      // 423 initial value
  rec::Text<42> b483;         // 483 decided here: not used, blank
  rec::U8 b525;               // 525 into ELEMENT byte 590
  rec::Text<3> b526;          // 526 decided here: not used, blank
  rec::U8 b529;               // 529 into ELEMENT byte 589
  rec::U8 dom_class;          // 530 domain class
  rec::Text<1> b531;          // 531 into ELEMENT byte 591
  rec::Text<72> spare;        // 532 decided here: not used, blank
};
QV_RECORD(DField, 604);
QV_AT(DField, initial, 423);
QV_AT(DField, b525, 525);
QV_AT(DField, dom_class, 530);
#define QV_SAME_AT(A, B, f) static_assert(offsetof(A, f) == offsetof(B, f), #A "." #f " must lie as " #B "." #f)
QV_SAME_AT(DField, DElem, name);
QV_SAME_AT(DField, DElem, number);
QV_SAME_AT(DField, DElem, label);
QV_SAME_AT(DField, DElem, key_kind);
QV_SAME_AT(DField, DElem, ref_field);
QV_SAME_AT(DField, DElem, code3);
QV_FIELDS(DField, kFldField, QV_FLD(DField, area, 5), QV_FLD(DField, work, 1), QV_FLD(DField, name, 1),
          QV_FLD(DField, kind, 5), QV_FLD(DField, domain, 1), QV_FLD(DField, offset, 5),
          QV_FLD(DField, length, 5), QV_FLD(DField, occurs, 5), QV_FLD(DField, file, 1),
          QV_FLD(DField, number, 5), QV_FLD(DField, ident_stamp, 7), QV_FLD(DField, stamp2, 7),
          QV_FLD(DField, cmpl_stamp, 7), QV_FLD(DField, flag92, 1), QV_FLD(DField, b93, 5),
          QV_FLD(DField, b94, 5), QV_FLD(DField, label, 1), QV_FLD(DField, heading1, 1),
          QV_FLD(DField, heading2, 1), QV_FLD(DField, b185, 5), QV_FLD(DField, share_a, 5),
          QV_FLD(DField, share_b, 5), QV_FLD(DField, usage, 5), QV_FLD(DField, key_kind, 5),
          QV_FLD(DField, key_no, 5), QV_FLD(DField, key_order, 1), QV_FLD(DField, key_dups, 1),
          QV_FLD(DField, low_given, 5), QV_FLD(DField, high_given, 5), QV_FLD(DField, low, 1),
          QV_FLD(DField, high, 1), QV_FLD(DField, ref_app, 1), QV_FLD(DField, ref_file, 1),
          QV_FLD(DField, ref_field, 1), QV_FLD(DField, code1, 1), QV_FLD(DField, code2, 1),
          QV_FLD(DField, code3, 1), QV_FLD(DField, b300, 1), QV_FLD(DField, initial, 1),
          QV_FLD(DField, b483, 1), QV_FLD(DField, b525, 5), QV_FLD(DField, b526, 1),
          QV_FLD(DField, b529, 5), QV_FLD(DField, dom_class, 5), QV_FLD(DField, b531, 1),
          QV_FLD(DField, spare, 1));

// ELEMENT (DElem, foundation/cv.h): its field list.
QV_FIELDS(DElem, kFldElem, QV_FLD(DElem, area, 5), QV_FLD(DElem, work, 1), QV_FLD(DElem, name, 1),
          QV_FLD(DElem, kind, 5), QV_FLD(DElem, domain, 1), QV_FLD(DElem, offset, 5),
          QV_FLD(DElem, length, 5), QV_FLD(DElem, occurs, 5), QV_FLD(DElem, file, 1),
          QV_FLD(DElem, number, 5), QV_FLD(DElem, ident_stamp, 7), QV_FLD(DElem, stamp2, 7),
          QV_FLD(DElem, cmpl_stamp, 7), QV_FLD(DElem, flag92, 1), QV_FLD(DElem, b93, 5),
          QV_FLD(DElem, b94, 5), QV_FLD(DElem, label, 1), QV_FLD(DElem, heading1, 1),
          QV_FLD(DElem, heading2, 1), QV_FLD(DElem, b185, 5), QV_FLD(DElem, share_a, 5),
          QV_FLD(DElem, share_b, 5), QV_FLD(DElem, usage, 5), QV_FLD(DElem, key_kind, 5),
          QV_FLD(DElem, key_no, 5), QV_FLD(DElem, key_order, 1), QV_FLD(DElem, key_dups, 1),
          QV_FLD(DElem, low_given, 5), QV_FLD(DElem, high_given, 5), QV_FLD(DElem, low, 1),
          QV_FLD(DElem, high, 1), QV_FLD(DElem, ref_app, 1), QV_FLD(DElem, ref_file, 1),
          QV_FLD(DElem, ref_field, 1), QV_FLD(DElem, code1, 1), QV_FLD(DElem, code2, 1),
          QV_FLD(DElem, code3, 1), QV_FLD(DElem, field_no, 5), QV_FLD(DElem, type, 5),
          QV_FLD(DElem, initial, 1), QV_FLD(DElem, null_value, 1), QV_FLD(DElem, mask, 1),
          QV_FLD(DElem, mask2, 1), QV_FLD(DElem, rng_code1, 5), QV_FLD(DElem, rng_code2, 5),
          QV_FLD(DElem, rng_value1, 1), QV_FLD(DElem, rng_value2, 1), QV_FLD(DElem, token_mark, 5),
          QV_FLD(DElem, case_code, 5), QV_FLD(DElem, b581, 5), QV_FLD(DElem, justify, 5),
          QV_FLD(DElem, entry_flag, 1), QV_FLD(DElem, fill, 1), QV_FLD(DElem, squeeze, 1),
          QV_FLD(DElem, sign, 1), QV_FLD(DElem, digits, 5), QV_FLD(DElem, decimals, 5),
          QV_FLD(DElem, b589, 5), QV_FLD(DElem, b590, 5), QV_FLD(DElem, b591, 1));

// TOKEN (CvTokenRec, foundation/cv.h).
QV_FIELDS(CvTokenRec, kFldToken, QV_FLD(CvTokenRec, cls, 5), QV_FLD(CvTokenRec, group, 1),
          QV_FLD(CvTokenRec, pad, 1), QV_FLD(CvTokenRec, number, 5), QV_FLD(CvTokenRec, text, 1),
          QV_FLD(CvTokenRec, spare, 1));

// DOMAIN: a kind of value shared by fields (584 bytes; key class and name).
struct DDomain {
  rec::U8 cls;                // 0   domain class
  rec::Text<22> name;         // 1
  rec::Text<30> label;        // 23
  rec::Text<3> b53;           // 53  decided here: not used, blank
  rec::Text<16> b56;          // 56  kept by an inherited domain's refresh
  rec::Bytes<8> stamp;        // 72  compile stamp (-1: must compile)
  rec::U16 dflt_len;          // 80  length when the mask gives none
  rec::U8 decl_kind;          // 82  0: inherited
  rec::U8 kind;               // 83  1 numeric, 2 date, 3 logic, 4 alpha
  rec::U8 token;              // 84  token flag
  rec::U8 storage;            // 85  storage code
  rec::Text<60> mask;         // 86
  rec::Text<60> mask2;        // 146
  rec::Text<1> b206;          // 206
  rec::Text<30> heading1;     // 207
  rec::Text<30> heading2;     // 237
  rec::Text<4> code1;         // 267 default codes of the fields (ELEMENT 288, 292, 296)
  rec::Text<4> code2;         // 271
  rec::Text<4> code3;         // 275
  rec::Text<3> src_app;       // 279 source application of an inherited domain
  rec::Text<22> src_name;     // 282
  rec::U8 rng_code1;          // 304 255 = none
  rec::U8 rng_code2;          // 305
  rec::Text<30> rng_value1;   // 306
  rec::Text<30> rng_value2;   // 336
  rec::Text<3> ref_app;       // 366 default reference of the fields (ELEMENT 255-287)
  rec::Text<8> ref_file;      // 369
  rec::Text<22> ref_field;    // 377
  rec::Text<60> initial;      // 399
  rec::Text<33> null_value;   // 459
  rec::U8 case_code;          // 492
  rec::U8 alpha_kind;         // 493
  rec::U8 justify;            // 494
  rec::Text<1> b495;          // 495
  rec::Text<1> fill;          // 496
  rec::Text<1> squeeze;       // 497 into ELEMENT byte 585
  rec::Text<2> b498;          // 498 decided here: not used, blank
  // 500-583: carried bytes. An inherited domain takes b500 (unless its class
  // is '0'), b501, b505, b512, b520, b533, b576 and b580 from its source and
  // keeps its own b527, b563 and b568.
  rec::Text<1> b500;          // 500
  rec::Text<3> b501;          // 501
  rec::Text<1> b504;          // 504
  rec::Text<6> b505;          // 505
  rec::Text<1> b511;          // 511
  rec::Text<8> b512;          // 512
  rec::Text<7> b520;          // 520
  rec::Text<6> b527;          // 527
  rec::Text<30> b533;         // 533
  rec::Text<4> b563;          // 563
  rec::Text<1> b567;          // 567
  rec::Text<8> b568;          // 568
  rec::Text<4> b576;          // 576
  rec::Text<4> b580;          // 580
};
QV_RECORD(DDomain, 584);
QV_AT(DDomain, stamp, 72);
QV_AT(DDomain, mask, 86);
QV_AT(DDomain, heading1, 207);
QV_AT(DDomain, src_app, 279);
QV_AT(DDomain, rng_code1, 304);
QV_AT(DDomain, initial, 399);
QV_AT(DDomain, case_code, 492);
QV_AT(DDomain, code1, 267);
QV_AT(DDomain, ref_field, 377);
QV_AT(DDomain, b500, 500);
QV_AT(DDomain, b580, 580);
QV_FIELDS(DDomain, kFldDomain, QV_FLD(DDomain, cls, 5), QV_FLD(DDomain, name, 1),
          QV_FLD(DDomain, label, 1), QV_FLD(DDomain, b53, 1), QV_FLD(DDomain, b56, 1), QV_FLD(DDomain, stamp, 7),
          QV_FLD(DDomain, dflt_len, 5), QV_FLD(DDomain, decl_kind, 5), QV_FLD(DDomain, kind, 5),
          QV_FLD(DDomain, token, 5), QV_FLD(DDomain, storage, 5), QV_FLD(DDomain, mask, 1),
          QV_FLD(DDomain, mask2, 1), QV_FLD(DDomain, b206, 1), QV_FLD(DDomain, heading1, 1),
          QV_FLD(DDomain, heading2, 1), QV_FLD(DDomain, code1, 1), QV_FLD(DDomain, code2, 1),
          QV_FLD(DDomain, code3, 1), QV_FLD(DDomain, src_app, 1),
          QV_FLD(DDomain, src_name, 1), QV_FLD(DDomain, rng_code1, 5), QV_FLD(DDomain, rng_code2, 5),
          QV_FLD(DDomain, rng_value1, 1), QV_FLD(DDomain, rng_value2, 1), QV_FLD(DDomain, ref_app, 1),
          QV_FLD(DDomain, ref_file, 1), QV_FLD(DDomain, ref_field, 1),
          QV_FLD(DDomain, initial, 1), QV_FLD(DDomain, null_value, 1), QV_FLD(DDomain, case_code, 5),
          QV_FLD(DDomain, alpha_kind, 5), QV_FLD(DDomain, justify, 5), QV_FLD(DDomain, b495, 1),
          QV_FLD(DDomain, fill, 1), QV_FLD(DDomain, squeeze, 1), QV_FLD(DDomain, b498, 1),
          QV_FLD(DDomain, b500, 1), QV_FLD(DDomain, b501, 1), QV_FLD(DDomain, b504, 1),
          QV_FLD(DDomain, b505, 1), QV_FLD(DDomain, b511, 1), QV_FLD(DDomain, b512, 1),
          QV_FLD(DDomain, b520, 1), QV_FLD(DDomain, b527, 1), QV_FLD(DDomain, b533, 1),
          QV_FLD(DDomain, b563, 1), QV_FLD(DDomain, b567, 1), QV_FLD(DDomain, b568, 1),
          QV_FLD(DDomain, b576, 1), QV_FLD(DDomain, b580, 1));

// INITIAL: one piece of a file's INITIAL or NULL record image (variable, at
// most 1013 bytes; key file name, kind, sequence).
struct DInit {
  rec::Text<8> file;          // 0
  rec::U8 kind;               // 8   1 INITIAL, 2 NULL
  rec::U32 seq;               // 9   from 1
  rec::Bytes<1000> data;      // 13  the next piece of the image
};
QV_RECORD(DInit, 1013);
QV_AT(DInit, seq, 9);
QV_AT(DInit, data, 13);
constexpr int DINIT_HEAD = 13, DINIT_PIECE = 1000;
QV_FIELDS(DInit, kFldInit, QV_FLD(DInit, file, 1), QV_FLD(DInit, kind, 5), QV_FLD(DInit, seq, 5),
          QV_FLD(DInit, data, 0));

// BITMAP: one page of numbers of a class (212 bytes; key class, page).
struct DBitmap {
  rec::U32 cls;               // 0
  rec::U32 page;              // 4   from 1
  rec::U32 highest;           // 8   highest number given (page 1 only)
  rec::Bytes<200> bits;       // 12  bytes 12-61 hold the page's 400 numbers
};
QV_RECORD(DBitmap, 212);
QV_FIELDS(DBitmap, kFldBitmap, QV_FLD(DBitmap, cls, 5), QV_FLD(DBitmap, page, 5),
          QV_FLD(DBitmap, highest, 5), QV_FLD(DBitmap, bits, 0));

// PARAM: the parameters of an application (232 bytes, the file's single
// record).
struct DParam {
  rec::Text<35> b0;           // 0   decided here: not used, blank
  rec::Text<3> dict_lang;     // 35  dictionary language
  rec::Text<30> menu[3];      // 38  start-up menus: default, phase 1, phase 3
  rec::Text<3> dp2_app;       // 128 direct process 2 (option 273): application,
  rec::U8 dp2_type;           // 131 process type,
  rec::Text<30> dp2_name;     // 132 name
  rec::Text<7> b162;          // 162 decided here: not used, blank
  rec::Text<9> b169;          // 169
  rec::Text<3> utl;           // 178 "UTL": may write files of system applications
  rec::Text<51> spare;        // 181 decided here: not used, blank
};
QV_RECORD(DParam, 232);
QV_AT(DParam, dict_lang, 35);
QV_AT(DParam, menu, 38);
QV_AT(DParam, dp2_app, 128);
QV_AT(DParam, b162, 162);
QV_AT(DParam, utl, 178);
QV_FIELDS(DParam, kFldParam, QV_FLD(DParam, b0, 1), QV_FLD(DParam, dict_lang, 1),
          QV_FLD(DParam, menu, 1), QV_FLD(DParam, dp2_app, 1), QV_FLD(DParam, dp2_type, 5),
          QV_FLD(DParam, dp2_name, 1), QV_FLD(DParam, b162, 1), QV_FLD(DParam, b169, 1),
          QV_FLD(DParam, utl, 1), QV_FLD(DParam, spare, 1));

// ATRIBUTE: one property of an object (406 bytes; key kind, name, property).
struct DAtribute {
  rec::Text<8> kind;          // 0   "USER    ", "SYSPARM ", "DATABASE", "DBXAP   "
  rec::Text<128> object;      // 8
  rec::Text<14> prop;         // 136 "DEF LANG ID"
  rec::Text<256> value;       // 150 all blank: absent
};
QV_RECORD(DAtribute, 406);
QV_AT(DAtribute, value, 150);
QV_FIELDS(DAtribute, kFldAtribute, QV_FLD(DAtribute, kind, 1), QV_FLD(DAtribute, object, 1),
          QV_FLD(DAtribute, prop, 1), QV_FLD(DAtribute, value, 1));

// ============================================= System Administration ==

// APPL: one application and version (324 bytes; key application, version).
struct DAppl {
  rec::Text<4> b0;            // 0   blank
  rec::Text<3> app;           // 4
  rec::Text<2> ver;           // 7
  rec::Text<60> title;        // 9   decided here: the application's title
  rec::Text<119> b69;         // 69  decided here: not used, blank
  rec::Text<60> date_mask;    // 188 date mask of the standard heading
  rec::Text<42> b248;         // 248 decided here: not used, blank
  rec::Text<1> save[6];       // 290 save-module defaults of process types 1-6
  rec::Bytes<8> stamp;        // 296 stamp of the application's dictionary
  rec::Text<20> spare;        // 304 decided here: not used, blank
};
QV_RECORD(DAppl, 324);
QV_AT(DAppl, app, 4);
QV_AT(DAppl, date_mask, 188);
QV_AT(DAppl, save, 290);
QV_AT(DAppl, stamp, 296);
QV_FIELDS(DAppl, kFldAppl, QV_FLD(DAppl, b0, 1), QV_FLD(DAppl, app, 1), QV_FLD(DAppl, ver, 1),
          QV_FLD(DAppl, title, 1), QV_FLD(DAppl, b69, 1), QV_FLD(DAppl, date_mask, 1),
          QV_FLD(DAppl, b248, 1), QV_FLD(DAppl, save, 1), QV_FLD(DAppl, stamp, 7),
          QV_FLD(DAppl, spare, 1));

// USER: one user (364 bytes, decided here: the last print block ends at 364;
// key user id).
struct DUser {
  rec::Text<3> id;            // 0
  rec::Text<30> name;         // 3   decided here: the user's name
  rec::Text<90> b33;          // 33  decided here: not used, blank
  rec::Text<30> profile;      // 123 security profile name
  rec::Text<3> db;            // 153 default database
  rec::Text<3> app;           // 156 start-up application
  rec::U8 proc_type;          // 159 start-up process type
  rec::Text<30> proc;         // 160 start-up process
  rec::Text<11> b190;         // 190 decided here: not used, blank
  rec::U8 cache_thr;          // 201 module cache threshold (signed byte; -1 means 15)
  rec::Text<33> b202;         // 202 decided here: not used, blank
  rec::U8 cache_lim;          // 235 module cache limit (0 means 15)
  rec::Text<32> b236;         // 236 decided here: not used, blank
  QV_PRINT_DFLT(p1);          // 268 print defaults
  QV_PRINT_DFLT(p2);          // 316 print defaults, second block
};
QV_RECORD(DUser, 364);
QV_AT(DUser, profile, 123);
QV_AT(DUser, proc, 160);
QV_AT(DUser, cache_thr, 201);
QV_AT(DUser, cache_lim, 235);
QV_AT(DUser, p1_on_screen, 268);
QV_AT(DUser, p2_on_screen, 316);
QV_FIELDS(DUser, kFldUser, QV_FLD(DUser, id, 1), QV_FLD(DUser, name, 1), QV_FLD(DUser, b33, 1),
          QV_FLD(DUser, profile, 1), QV_FLD(DUser, db, 1), QV_FLD(DUser, app, 1),
          QV_FLD(DUser, proc_type, 5), QV_FLD(DUser, proc, 1), QV_FLD(DUser, b190, 1),
          QV_FLD(DUser, cache_thr, 5), QV_FLD(DUser, b202, 1), QV_FLD(DUser, cache_lim, 5),
          QV_FLD(DUser, b236, 1), QV_PRINT_FLDS(DUser, p1), QV_PRINT_FLDS(DUser, p2));

// DATABASE: one database (284 bytes, decided here: the last print block ends
// at 284; key database id).
struct DDatabase {
  rec::Text<3> id;            // 0
  rec::Text<3> app;           // 3   application
  rec::Text<2> ver;           // 6   version
  rec::Text<60> name;         // 8   decided here: the name the standard heading shows
  rec::Text<120> b68;         // 68  decided here: not used, blank
  QV_PRINT_DFLT(p1);          // 188
  QV_PRINT_DFLT(p2);          // 236
};
QV_RECORD(DDatabase, 284);
QV_AT(DDatabase, p1_on_screen, 188);
QV_AT(DDatabase, p2_on_screen, 236);
QV_FIELDS(DDatabase, kFldDatabase, QV_FLD(DDatabase, id, 1), QV_FLD(DDatabase, app, 1),
          QV_FLD(DDatabase, ver, 1), QV_FLD(DDatabase, name, 1), QV_FLD(DDatabase, b68, 1),
          QV_PRINT_FLDS(DDatabase, p1), QV_PRINT_FLDS(DDatabase, p2));

// DBXAP: one application of a database (104 bytes, decided here: the last
// print block ends at 104; key database id, application id).
struct DDbxap {
  rec::Text<3> db;            // 0
  rec::Text<3> app;           // 3
  rec::U8 phase;              // 6   operational phase 1-3 (chooses the start-up menu)
  rec::Text<1> b7;            // 7   decided here: not used, blank
  QV_PRINT_DFLT(p1);          // 8
  QV_PRINT_DFLT(p2);          // 56
};
QV_RECORD(DDbxap, 104);
QV_AT(DDbxap, phase, 6);
QV_AT(DDbxap, p1_on_screen, 8);
QV_AT(DDbxap, p2_on_screen, 56);
QV_FIELDS(DDbxap, kFldDbxap, QV_FLD(DDbxap, db, 1), QV_FLD(DDbxap, app, 1), QV_FLD(DDbxap, phase, 5),
          QV_FLD(DDbxap, b7, 1), QV_PRINT_FLDS(DDbxap, p1), QV_PRINT_FLDS(DDbxap, p2));

// PROFILE: a security profile of a database (192 bytes, decided here: room
// for security codes 0-1023; key profile name, database).
struct DProfile {
  rec::Text<30> name;         // 0
  rec::Text<3> db;            // 30  blank: every database
  rec::Text<31> b33;          // 33  decided here: not used, blank
  rec::Bytes<128> bits;       // 64  code c allowed when bit c mod 8 of byte 64 + c / 8 is set
};
QV_RECORD(DProfile, 192);
QV_AT(DProfile, bits, 64);
QV_FIELDS(DProfile, kFldProfile, QV_FLD(DProfile, name, 1), QV_FLD(DProfile, db, 1),
          QV_FLD(DProfile, b33, 1), QV_FLD(DProfile, bits, 0));

// SYSPARM: the system parameters (355 bytes, the file's single record).
struct DSysparm {
  rec::Text<3> dp1_app;       // 0   direct process 1 (option 272): application,
  rec::U8 dp1_type;           // 3   process type (255: none),
  rec::Text<30> dp1_name;     // 4   name
  rec::Text<3> dp1_db;        // 34  and the database it runs in
  rec::Text<67> b37;          // 37  decided here: not used, blank
  QV_PRINT_DFLT(p1);          // 104
  QV_PRINT_DFLT(p2);          // 152
  rec::Text<3> kea_app;       // 200 the terminal emulator's hook processes: application,
  rec::Text<2> kea_ver;       // 203 version,
  rec::Text<30> kea_start;    // 205 the start-of-image and
  rec::Text<30> kea_after;    // 235 after-child processes,
  rec::Text<3> kea_db;        // 265 and the database they run in
  rec::Text<78> b268;         // 268 decided here: not used, blank
  rec::Text<1> save[9];       // 346 save-module defaults (349-354: process types 1-6)
};
QV_RECORD(DSysparm, 355);
QV_AT(DSysparm, dp1_db, 34);
QV_AT(DSysparm, p1_on_screen, 104);
QV_AT(DSysparm, p2_on_screen, 152);
QV_AT(DSysparm, kea_app, 200);
QV_AT(DSysparm, kea_db, 265);
QV_AT(DSysparm, save, 346);
QV_FIELDS(DSysparm, kFldSysparm, QV_FLD(DSysparm, dp1_app, 1), QV_FLD(DSysparm, dp1_type, 5),
          QV_FLD(DSysparm, dp1_name, 1), QV_FLD(DSysparm, dp1_db, 1), QV_FLD(DSysparm, b37, 1),
          QV_PRINT_FLDS(DSysparm, p1), QV_PRINT_FLDS(DSysparm, p2), QV_FLD(DSysparm, kea_app, 1),
          QV_FLD(DSysparm, kea_ver, 1), QV_FLD(DSysparm, kea_start, 1), QV_FLD(DSysparm, kea_after, 1),
          QV_FLD(DSysparm, kea_db, 1), QV_FLD(DSysparm, b268, 1), QV_FLD(DSysparm, save, 1));

// HOOK: a process hook of a user and database (82 bytes).
struct DHook {
  rec::Text<3> app;           // 0
  rec::Text<2> ver;           // 3
  rec::U8 proc_type;          // 5
  rec::Text<30> proc;         // 6
  rec::Text<3> db;            // 36
  rec::Text<3> user;          // 39
  rec::Text<3> t_app;         // 42  target
  rec::Text<2> t_ver;         // 45
  rec::U8 t_type;             // 47
  rec::Text<30> t_proc;       // 48
  rec::Text<3> t_db;          // 78
  rec::Text<1> active;        // 81  '1' active
};
QV_RECORD(DHook, 82);
QV_AT(DHook, t_proc, 48);
QV_AT(DHook, active, 81);
QV_FIELDS(DHook, kFldHook, QV_FLD(DHook, app, 1), QV_FLD(DHook, ver, 1), QV_FLD(DHook, proc_type, 5),
          QV_FLD(DHook, proc, 1), QV_FLD(DHook, db, 1), QV_FLD(DHook, user, 1), QV_FLD(DHook, t_app, 1),
          QV_FLD(DHook, t_ver, 1), QV_FLD(DHook, t_type, 5), QV_FLD(DHook, t_proc, 1),
          QV_FLD(DHook, t_db, 1), QV_FLD(DHook, active, 1));

// FORM: a print form (252 bytes; key name; identifier with duplicates).
struct DForm {
  rec::Text<10> name;         // 0
  rec::Text<80> ident;        // 10
  rec::Text<30> b90;          // 90  decided here: not used, blank
  rec::U16 page_len;          // 120
  rec::U16 page_width;        // 122
  rec::Text<1> np_start;      // 124 new page at start
  rec::Text<1> np_end;        // 125 new page at end
  rec::Text<2> b126;          // 126 decided here: not used, blank
  rec::Text<100> control;     // 128 control text
  rec::Text<24> spare;        // 228 decided here: not used, blank
};
QV_RECORD(DForm, 252);
QV_AT(DForm, page_len, 120);
QV_AT(DForm, control, 128);
QV_FIELDS(DForm, kFldForm, QV_FLD(DForm, name, 1), QV_FLD(DForm, ident, 1), QV_FLD(DForm, b90, 1),
          QV_FLD(DForm, page_len, 5), QV_FLD(DForm, page_width, 5), QV_FLD(DForm, np_start, 1),
          QV_FLD(DForm, np_end, 1), QV_FLD(DForm, b126, 1), QV_FLD(DForm, control, 1),
          QV_FLD(DForm, spare, 1));

// PRINTER: a printer (328 bytes; keys name, identifier).
struct DPrinter {
  rec::Text<10> name;         // 0
  rec::Text<80> ident;        // 10
  rec::Text<80> b90;          // 90  decided here: not used, blank
  rec::Text<30> queue;        // 170
  rec::Text<1> flag;          // 200
  rec::Text<3> b201;          // 201 decided here: not used, blank
  rec::Text<100> control;     // 204 control text
  rec::Text<24> spare;        // 304 decided here: not used, blank
};
QV_RECORD(DPrinter, 328);
QV_AT(DPrinter, queue, 170);
QV_AT(DPrinter, flag, 200);
QV_AT(DPrinter, control, 204);
QV_FIELDS(DPrinter, kFldPrinter, QV_FLD(DPrinter, name, 1), QV_FLD(DPrinter, ident, 1),
          QV_FLD(DPrinter, b90, 1), QV_FLD(DPrinter, queue, 1), QV_FLD(DPrinter, flag, 1),
          QV_FLD(DPrinter, b201, 1), QV_FLD(DPrinter, control, 1), QV_FLD(DPrinter, spare, 1));

// SYSDIR (FmSysdirRec, files/fmcat.h).
QV_FIELDS(FmSysdirRec, kFldSysdir, QV_FLD(FmSysdirRec, db, 1), QV_FLD(FmSysdirRec, app, 1),
          QV_FLD(FmSysdirRec, ver, 1), QV_FLD(FmSysdirRec, name, 1), QV_FLD(FmSysdirRec, dir_opts, 5),
          QV_FLD(FmSysdirRec, dir, 1), QV_FLD(FmSysdirRec, spare, 1), QV_FLD(FmSysdirRec, option, 1),
          QV_FLD(FmSysdirRec, spare2, 1));

// ====================================================== runtime files ==

// CMPLERR: one error of a process compile (1128 bytes, "0LA" work file of
// the session; key application, version, process type, name, sequence).
struct DCmplErr {
  rec::Text<3> app;           // 0
  rec::Text<2> ver;           // 3
  rec::U8 proc_type;          // 5
  rec::Text<30> proc_name;    // 6
  rec::U32 seq;               // 36  1, 2, ... within one compile
  rec::U32 msg;               // 40  message number
  rec::U16 src_len;           // 44  length of the source record copy
  rec::U16 kind;              // 46  error kind
  rec::Text<22> name;         // 48  name in error
  rec::Text<1> star;          // 70  '*'
  rec::U8 zero;               // 71  0
  rec::Bytes<976> src;        // 72  copy of the source record (rest zero)
  rec::Text<80> stmt_text;    // 1048 first 79 characters of the statement
};
QV_RECORD(DCmplErr, 1128);
QV_AT(DCmplErr, seq, 36);
QV_AT(DCmplErr, name, 48);
QV_AT(DCmplErr, src, 72);
QV_AT(DCmplErr, stmt_text, 1048);
QV_FIELDS(DCmplErr, kFldCmplErr, QV_FLD(DCmplErr, app, 1), QV_FLD(DCmplErr, ver, 1),
          QV_FLD(DCmplErr, proc_type, 5), QV_FLD(DCmplErr, proc_name, 1), QV_FLD(DCmplErr, seq, 5),
          QV_FLD(DCmplErr, msg, 5), QV_FLD(DCmplErr, src_len, 5), QV_FLD(DCmplErr, kind, 5),
          QV_FLD(DCmplErr, name, 1), QV_FLD(DCmplErr, star, 1), QV_FLD(DCmplErr, zero, 5),
          QV_FLD(DCmplErr, src, 0), QV_FLD(DCmplErr, stmt_text, 1));

// MESSAGE (LaMsgRec, foundation/la.h).
QV_FIELDS(LaMsgRec, kFldMessage, QV_FLD(LaMsgRec, lang, 1), QV_FLD(LaMsgRec, spare0, 1),
          QV_FLD(LaMsgRec, number, 5), QV_FLD(LaMsgRec, severity, 5), QV_FLD(LaMsgRec, origin, 1),
          QV_FLD(LaMsgRec, length, 5), QV_FLD(LaMsgRec, text, 1));
