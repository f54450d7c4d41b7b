// Dictionary records: the stored layouts of an application's dictionary
// files and of the runtime records built on them.
//
// Each record is declared once here and used by field name everywhere
// (statement compiler, interpreter, statement text, bootstrap). The file
// catalogue (fmcat.h) describes the files that hold them.
#pragma once

#include "foundation/record.h"

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
