// Standard report headings, subheadings and totals of Output processes
// (the STD record, the summary entries and their buckets: op.h).
//
// The executor lays out what the runtime application's own Output processes
// print: the STD record (page heading and column headings), STDHITM (one
// record per headed item of the detail images), STDHSUB (a subheading's
// lines) and STDTSUM (a subtotal's lines). The four are temporary files of
// "0LA" 00 whose layouts that application's dictionary repeats field by
// field (data/apps/0LA/files.def; a test compares them), so every offset
// below is part of the format.
//
// Totals are kept in packed buckets, one per range level, and rolled out
// level by level (op_roll_bucket): exact while the sum fits 15 digits, then
// with decimals dropped (truncated toward zero), and in overflow once the
// integer part alone passes 15 digits. An overflowed total stays so as it
// rolls out and is shown in its mask's overflow form ('*'), and the process
// gets one warning naming the field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/mm.h"
#include "executors/op.h"
#include "foundation/record.h"

struct Pcb;

constexpr int kOpMaxWidth = 255;  // widest report, in columns

// The STD record (OpStd) is declared in op.h; its heading lines are the
// report's width each, one after another.
char* op_std_pgh_line(OpStd& std, int i);   // page heading line 0-2
char* op_std_colh_line(OpStd& std, int i);  // column heading lines 0, 1, the underline line 2

// Heading modes (STD byte 580).
constexpr uint8_t kOpHeadNone = 0, kOpHeadPage = 1, kOpHeadUline = 2, kOpHeadPage3 = 3;

// STDHITM: one headed item of a detail image, in the order found.
struct OpStdHitm {
  rec::U16 col;                   // 0  start column, from 1
  rec::U16 width;                 // 2  display width
  rec::U16 ordinal;               // 4  image ordinal
  rec::U8 align;                  // 6  kOpAlign*
  rec::Text<30> head1;            // 7  heading line 1
  rec::Text<30> head2;            // 37 heading line 2
  rec::U8 b67;                    // 67
};
QV_RECORD(OpStdHitm, 68);
QV_AT(OpStdHitm, align, 6);
QV_AT(OpStdHitm, head1, 7);
QV_AT(OpStdHitm, head2, 37);
constexpr uint8_t kOpAlignLeft = 1, kOpAlignRight = 3, kOpAlignCentre = 4;

// STDHSUB: one line of a standard subheading.
struct OpStdHsub {
  rec::Text<255> line;
};
QV_RECORD(OpStdHsub, 255);

// STDTSUM: one line of a standard subtotal. The first two records have
// column and width 0 (the range label, the total label); the others are
// total values at their item's column.
struct OpStdTsum {
  rec::U16 col;                   // 0
  rec::U16 width;                 // 2
  rec::Text<30> text;             // 4
};
QV_RECORD(OpStdTsum, 34);
QV_AT(OpStdTsum, text, 4);

// ---------------------------------------------------------- the headings --
// Everything gen_std_pgh puts into the page heading besides the STD record.
struct OpPghText {
  std::string_view db_name;       // 60-character name of the current database ("" none)
  std::string_view heading;       // the print options' 79-character heading text
  std::string_view prefix;        // the 3 characters placed before the page label
};

// Lays out the page heading into std.pgh. With rebuild '1': line 1 the
// database name centred, line 2 the heading text centred, the date text
// from column 1 and the label block (prefix, label, page number) ending at
// the right edge, line 3 the title centred; then the column headings
// (op_std_colh). Otherwise only the page number is written. The number has
// five digits with leading zeros, more when it needs them, and always ends
// in the report's last column (the label block moves left to make room).
void op_std_pgh(OpStd& std, const OpPghText& text, const std::vector<OpStdHitm>& items);

// Only the page number of the page heading at the given width (as
// op_std_pgh does when the heading is not rebuilt).
void op_std_pgh_page(OpStd& std, int width);

// Lays out the column headings from the STDHITM records (std.colh,
// std.colh_lines) in the heading mode of std; the rebuild flag becomes '0'.
// An item is used only where the column owners of all its columns are its
// image; a heading goes only where its columns are still blank. 1, or 0 for
// an alignment that is none of the three (system error "gen_std_colh() -
// unexpected case switch").
int op_std_colh(OpStd& std, const std::vector<OpStdHitm>& items);

// Marks the columns [col, col + width) of the STD owners that no image owns
// yet as owned by ordinal (the first image heading a column keeps it).
void op_std_own(OpStd& std, int col, int width, uint16_t ordinal);

// The STD record as a report starts: page 1 or the given one, the width,
// title, underline character and page label; counter 1, no owners, heading
// mode 0, rebuild '1', first '0', last '1', heading lines blank, the
// underline line filled with the underline character.
void op_std_init(OpStd& std, uint32_t page, int width, std::string_view title, char uline,
                 std::string_view page_label);

// ------------------------------------------------------------ the totals --
// Sets a bucket to packed zero, scale 0, no overflow.
void op_bucket_zero(OpBucket& b);
// Adds src into tgt with their scales aligned (target := target + source),
// then zeroes src. A sum that no longer fits 15 digits loses as many
// decimals as it must (truncated toward zero), and tgt's scale drops by as
// many; when the integer part alone passes 15 digits the target is in
// overflow (an overflowed source makes the target so too). 1 done, 0 the
// target is (now) in overflow, -1 an operand is not a packed number (the
// target unchanged, the source zeroed).
int op_roll_bucket(OpBucket& src, OpBucket& tgt);

// Rolls the buckets of level `level` of each entry out one level (at level
// 0 into the innermost bucket of the entry it rolls to, or nowhere) and
// zeroes them. A total that goes into overflow gives the process one
// warning, once per entry, naming the field (message 200120, the item's
// field; for a summary of the module the field of an item showing or
// totalling it, else the summary's application and number); pcb may be
// null (no warning).
void op_sum_roll_ents(Pcb* pcb, OpSum* ents, int count, int level);

// A bucket in display form for a subtotal line: the value edited with the
// item's numeric mask into width characters (num_itoe), the mask's
// overflow form (all '*') for an overflowed total. 1, or 0 when the value
// did not fit the mask (its overflow form written).
int op_bucket_text(const OpBucket& b, const char* mask, int mask_len, char* out, int width);
