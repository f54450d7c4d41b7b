// Window-manager records: the window item, the characteristic, the window
// description, the show block, the message record, and the public heads of
// surfaces, windows and regions; the characteristic attribute bits and the
// option codes. Every subsystem that draws screens includes this header.
//
// Handles. Surfaces, windows and regions are named by 32-bit handles: the
// arena reference of their public record (Ref), 0 for none. A handle can be
// kept in any record. The window manager checks every handle it is given
// against its own table, so a stale or garbage handle is a system error, not
// a crash.
//
// Coordinates are 1-based: row 1, column 1 is the top left cell. An item's and
// a characteristic's place is relative to its region; a window's place is on
// the logical screen.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "foundation/mm.h"
#include "foundation/record.h"

using WmHandle = uint32_t;

// ------------------------------------------------------ attribute bits --
// Bits of a characteristic's attribute word, and of the per-cell attribute
// words they leave in a region. Bits the window manager does not list here
// are carried for its callers and have no effect on the screen.
namespace wa {
constexpr uint32_t kInput = 0x0001;      // the cell takes typing (while its window is active)
constexpr uint32_t kInput2 = 0x0002;     // second input bit: "input bits 3" = kInput | kInput2
constexpr uint32_t kTarget1 = 0x0004;    // with kTarget2: a cursor target of the frame processor
constexpr uint32_t kTarget2 = 0x0008;
constexpr uint32_t kHidden = 0x0010;     // the text shows as blanks (0x30 = hidden as the callers set it)
constexpr uint32_t kHidden2 = 0x0020;
constexpr uint32_t kBright = 0x0040;     // bold
constexpr uint32_t kInverse = 0x0080;    // reverse video
constexpr uint32_t kUnderline = 0x0100;
constexpr uint32_t kBlink = 0x0200;      // also the error attribute (512); reverse where the terminal cannot blink
constexpr uint32_t kUpper = 0x0400;      // typed letters become capitals
constexpr uint32_t kFill = 0x0800;       // blanks of an input cell show the fill character '_'
constexpr uint32_t kInputExtra = 0x1000; // given with input; no effect of its own
constexpr uint32_t kData = 0x2000;       // marks data cells; no effect of its own
constexpr uint32_t kDim = 0x4000;        // half bright (fixed-text attribute of the image editor)
constexpr uint32_t kPicture = 0x100000;  // graphical clients only; nothing on a character terminal
constexpr uint32_t kBox = 0x08000000;    // the characteristic is a box (or a line when one row or column high)
constexpr uint32_t kCharRec = 0x80000000;// set by the compiler on fixed-text records; no effect
// Bits an inactive window draws without.
constexpr uint32_t kInactiveDrop = kInput | kBright | kBlink | kFill;
// The input bits of OK INPUT / NO INPUT.
constexpr uint32_t kOkInput = 0x1045;
}  // namespace wa

// Colour byte of a characteristic: foreground * 16 + background; each nibble
// 0 = the terminal's default, 1-8 = black, red, green, yellow, blue, magenta,
// cyan, white. Shown only where the terminal has colours.
// The colour byte of a foreground and a background given as numbers (the
// COLOR statement's): each 0-8, any other value counts as 0.
inline uint8_t wm_colour(int32_t fg, int32_t bg) {
  auto one = [](int32_t v) { return v >= 0 && v <= 8 ? uint8_t(v) : uint8_t(0); };
  return uint8_t(one(fg) << 4 | one(bg));
}

// --------------------------------------------------------- option codes --
// The number a key or a menu choice yields. Numbered options are 0-255.
namespace opt {
constexpr uint16_t kScan = 257;
constexpr uint16_t kSelectKey = 259;
constexpr uint16_t kBack = 260;          // back out of the frame
constexpr uint16_t kNext = 261;          // next record; also "shown without waiting"
constexpr uint16_t kAddMode = 265;
constexpr uint16_t kDeleteMode = 266;
constexpr uint16_t kInquireMode = 267;
constexpr uint16_t kChangeMode = 268;
constexpr uint16_t kEntryAttrs = 271;    // SET ENTRY ATTRIBUTES
constexpr uint16_t kDirect1 = 272;
constexpr uint16_t kDirect2 = 273;
constexpr uint16_t kEnd = 274;
constexpr uint16_t kHelp = 276;
constexpr uint16_t kCancel = 278;
constexpr uint16_t kMessage = 279;       // show the next pending message (handled by wm_show)
constexpr uint16_t kHelpOpt = 280;       // HELP ON OPT
constexpr uint16_t kEnter = 304;
constexpr uint16_t kDeleteAck = 305;
constexpr uint16_t kTop = 320;           // scrolling: first, last, page back, page on, line on, line back
constexpr uint16_t kBottom = 321;
constexpr uint16_t kPageUp = 322;
constexpr uint16_t kPageDown = 323;
constexpr uint16_t kLineDown = 324;
constexpr uint16_t kLineUp = 325;
constexpr uint16_t kNoAction = 329;      // also the result of a key time-out
constexpr uint16_t kNone = 65535;

// Panning (handled by wm_show while the common block's panning byte is not 0;
// with its bit value 2 the vertical ones, 10000, 10001 and 10004-10007, do nothing).
constexpr uint16_t kPanUp = 10000, kPanDown = 10001, kPanLeft = 10002, kPanRight = 10003;
constexpr uint16_t kPanPageUp = 10004, kPanPageDown = 10005, kPanTop = 10006, kPanBottom = 10007;
constexpr uint16_t kPanPageLeft = 10008, kPanPageRight = 10009, kPanFarLeft = 10010, kPanFarRight = 10011;
constexpr uint16_t kPanHome = 10012;     // back to the top left corner
constexpr uint16_t kPanFirst = 10000, kPanLast = 10012;

// Field editing and cursor movement (handled by wm_show).
constexpr uint16_t kLeft = 20000, kRight = 20001, kUp = 20002, kDown = 20003;
constexpr uint16_t kNextField = 20004, kPrevField = 20005;
constexpr uint16_t kFieldStart = 20006, kFieldEnd = 20007;
constexpr uint16_t kDelChar = 20008, kBackspace = 20009, kInsToggle = 20010;
constexpr uint16_t kClearEnd = 20011, kClearField = 20012;
constexpr uint16_t kNextWord = 20013, kPrevWord = 20014, kDelWord = 20015;
constexpr uint16_t kFirstField = 20016, kLastField = 20017, kNewLine = 20018;
constexpr uint16_t kRestore = 20019, kInsSpace = 20020, kDelStart = 20021, kCaseToggle = 20022;
constexpr uint16_t kRedraw = 20023, kInsOn = 20024, kInsOff = 20025, kLiteral = 20026;
constexpr uint16_t kEditFirst = 20000, kEditLast = 20026;
}  // namespace opt

// ----------------------------------------------------------- window item --
// The 228-byte item a caller builds and places in a region (the head of a
// compiled item). Bytes 12-195 are the item's conversion block; the window
// manager reads only the fields named here (data type, sizes, display mode,
// the display text and its widths, the input flag) and leaves the rest to the
// conversion layer and the compilers.
struct WmItem {
  rec::U32 handle;         // 0  first word: image sequence or report handle; not read here
  rec::I32 row;            // 4  top row within the region
  rec::I32 col;            // 8  left column
  rec::U32 ira_area;       // 12 conversion block: IRA of the field's area
  rec::U32 ira_sub;        // 16 IRA of the occurrence's sub-area
  rec::U32 reference;      // 20 process file number or constant key
  rec::U8 summary;         // 24
  rec::U8 cnv_one;         // 25
  rec::U8 source;          // 26 1 file, 2 work
  rec::U8 dspl_mode;       // 27 0 show the text, 2 show blanks
  rec::U8 cnv_kind;        // 28 1 translated field
  rec::U8 cnv_b29;         // 29
  rec::U8 data_type;       // 30
  rec::U8 cnv_b31;         // 31
  rec::U16 length;         // 32 stored length of the value
  rec::U16 cnv_w34;        // 34
  rec::I32 rows;           // 36 rows the value takes (0 = 1)
  rec::I32 cols;           // 40 columns the value takes (0 = the text length)
  Ref<uint8_t> value;      // 44 the stored value
  Ref<char> text;          // 48 the display text (text_len characters)
  rec::U16 text_len;       // 52 display width
  rec::U16 edit_len;       // 54 edit width: characters that may be typed (0 = text_len)
  rec::Text<60> mask;      // 56 edit mask
  rec::Bytes<60> cnv_area; // 116 the conversion layer's own
  rec::U8 input;           // 176 input flag
  rec::Bytes<7> cnv_b177;  // 177
  rec::U32 msg;            // 184 message number of a failed conversion
  rec::Bytes<8> cnv_tail;  // 188
  rec::U32 total_ira;      // 196 IRA of a total or summary field
  rec::U32 sum_occ;        // 200 summary items: occurrence
  rec::U32 upd;            // 204 update word: the caller sets 1; the window manager leaves
                           //     2 shown, 3 not shown now (its window is in limbo):
                           //     redisplay it later
  rec::Bytes<8> b208;      // 208
  rec::U8 needs_cnv;       // 216 1: convert the value to the display text before showing
  rec::Bytes<7> b217;      // 217
  rec::U8 b224;            // 224
  rec::Bytes<3> b225;      // 225
};
QV_RECORD(WmItem, 228);
QV_AT(WmItem, row, 4);
QV_AT(WmItem, col, 8);
QV_AT(WmItem, dspl_mode, 27);
QV_AT(WmItem, data_type, 30);
QV_AT(WmItem, rows, 36);
QV_AT(WmItem, cols, 40);
QV_AT(WmItem, text, 48);
QV_AT(WmItem, mask, 56);
QV_AT(WmItem, input, 176);
QV_AT(WmItem, msg, 184);
QV_AT(WmItem, upd, 204);
QV_AT(WmItem, needs_cnv, 216);

// The cells an item's value takes, on a screen and on a printed image alike:
// its columns (0: its text length) and rows (0: as many rows of those
// columns as the text needs), and the characters shown (the text length,
// at most rows x cols), row by row.
struct WmItemGeo {
  int rows, cols, len;
};
inline WmItemGeo wm_item_geo(const WmItem& it) {
  const int64_t len = it.text_len.get();
  const int64_t cols = it.cols.get() > 0 ? it.cols.get() : len > 1 ? len : 1;
  const int64_t need = (len + cols - 1) / cols;
  const int64_t rows = it.rows.get() > 0 ? it.rows.get() : need > 1 ? need : 1;
  return {int(rows), int(cols), int(len < rows * cols ? len : rows * cols)};
}

// Update word values.
namespace wmupd {
constexpr uint32_t kAsk = 1, kShown = 2, kLater = 3;
}

// Clears an item and presets it as a one-row alpha display item at row 1,
// column 1; ALPHA_PREP also blank-fills its mask.
inline void ALP_PREP(WmItem* it) {
  std::memset(static_cast<void*>(it), 0, sizeof *it);
  it->row = 1;
  it->col = 1;
  it->data_type = 1;
  it->rows = 1;
}
inline void ALPHA_PREP(WmItem* it) {
  ALP_PREP(it);
  it->mask.clear();
}
// Sets the item's length (its display and edit widths), its column and the
// address of its text (an arena address).
inline void SET_ITM(WmItem* it, int length, int col, char* data) {
  it->text_len = uint16_t(length);
  it->edit_len = uint16_t(length);
  it->length = uint16_t(length);
  it->cols = length;
  it->col = col;
  it->text.set(data);
}

// --------------------------------------------------------- characteristic --
// A rectangle of a region and the attribute bits and colour its cells take.
struct WmChr {
  rec::U32 handle;    // 0  first word: image sequence or report handle; not read here
  rec::I32 row;       // 4
  rec::I32 col;       // 8
  rec::I32 rows;      // 12
  rec::I32 cols;      // 16
  rec::U32 attr;      // 20 attribute word (wa::)
  rec::U8 colour;     // 24 foreground * 16 + background
  rec::Bytes<3> b25;  // 25
  rec::I32 item_row;  // 28 the owning item's row and column; 0 for fixed text
  rec::I32 item_col;  // 32
  rec::Bytes<4> b36;  // 36
};
QV_RECORD(WmChr, 40);
QV_AT(WmChr, attr, 20);
QV_AT(WmChr, colour, 24);
QV_AT(WmChr, item_row, 28);

// Clears a characteristic and presets it with length 1: one row of one
// column, at row 1, column 1 (coordinates are 1-based, so a one-row region's
// callers need set only the column). SET_CHR sets its column and its length
// (the columns it covers on its row).
inline void CHR_PREP(WmChr* c) {
  std::memset(static_cast<void*>(c), 0, sizeof *c);
  c->row = 1;
  c->col = 1;
  c->rows = 1;
  c->cols = 1;
}
inline void SET_CHR(WmChr* c, int col, int length) {
  c->col = col;
  c->cols = length;
}

// ---------------------------------------------------- window description --
// Filled by INIT_WND, completed by wm_attach.
//
// Placement (row and column): 0 centres the window (a window of kind 3 with
// row 0 goes on the status line instead); a positive value is the first row
// or column; a negative value -n counts from the far edge, -1 putting the
// window's last row (column) on the last row (column). Rows count within the
// application area: the terminal less its status and message lines.
//
// Kinds: 3 is a status-line window, drawn at its place without panning; every
// other kind is an ordinary window whose meaning belongs to the caller.
//
// Scroll types (how regions are laid out in the window):
//   0  one region, the size of the window;
//   1  regions one below the other; a region that would pass the bottom
//      scrolls the window up by the first region;
//   2  as 1, but a region that would pass the bottom clears the window and
//      starts again at the top (page by page);
//   3  as 1, but a region that would pass the bottom is refused (103300);
//   4  newest region at the bottom: the others move up, the oldest leaves at
//      the top.
struct WmWnd {
  rec::U8 kind;        // 0
  rec::U8 scroll;      // 1 scroll type 0-4
  rec::U8 flag;        // 2 carried for the caller
  rec::U8 b3;          // 3
  rec::I16 row;        // 4 placement
  rec::I16 col;        // 6
  rec::U16 rows;       // 8 window size
  rec::U16 cols;       // 10
  rec::U16 reg_rows;   // 12 region size (0 = the window's)
  rec::U16 reg_cols;   // 14
  rec::U32 window;     // 16 out: the window
  rec::U32 region;     // 20 out: its first region
  rec::U32 status;     // 24 out: 103300 when the window does not fit
  rec::U32 surface;    // 28 out: the surface it was attached to
};
QV_RECORD(WmWnd, 32);
QV_AT(WmWnd, window, 16);

constexpr uint32_t kWmNoFit = 103300;  // window or region does not fit

// ------------------------------------------------------------ show block --
namespace wmshow {
// flags (in)
constexpr uint8_t kDraw = 0x02;      // draw the screen
constexpr uint8_t kAlert = 0x04;     // ring the bell (messages of type 1-3 are pending)
constexpr uint8_t kWait = 0x08;      // wait for a key
constexpr uint8_t kCopyBack = 0x40;  // copy edited texts back into their items
// status (out)
constexpr uint8_t kChanged = 0x01;   // edited texts were copied back
constexpr uint8_t kOutside = 0x10;   // the cursor is on no active region
constexpr uint8_t kTimedOut = 0x20;  // no key came within the time-out
constexpr uint8_t kResized = 0x80;   // the terminal changed size during the wait
// cursor request codes (in)
constexpr uint8_t kReqNone = 0;      // leave the cursor where it is
constexpr uint8_t kReqField = 1;     // at the requested row and column (a field position)
constexpr uint8_t kReqSaved = 2;     // back where the last wait left it
constexpr uint8_t kReqPos = 4;       // at the requested row and column
constexpr uint8_t kReqRowCol = 7;    // at the requested row and column
}  // namespace wmshow

struct WmShow {
  rec::U8 flags;        // 0  in: wmshow::kDraw | kAlert | kWait | kCopyBack
  rec::U8 status;       // 1  out: wmshow::kChanged | kOutside | kTimedOut | kResized
  rec::U8 curs_req;     // 2  in: cursor request code
  rec::U8 b3;           // 3
  rec::U16 option;      // 4  out: option code (261 after a show without waiting)
  rec::U16 b6;          // 6
  rec::U32 region;      // 8  in: region the requested row and column are relative to (0: the screen)
  rec::I32 req_row;     // 12 in
  rec::I32 req_col;     // 16 in
  rec::I32 row;         // 20 out: cursor row within the region under it (0: none)
  rec::I32 col;         // 24 out
  rec::I32 fld_row;     // 28 out: row and column of the item under the cursor (0: none)
  rec::I32 fld_col;     // 32 out
  rec::U32 cur_region;  // 36 out: the region under the cursor
  rec::U16 timeout;     // 40 in: key time-out in seconds (0: none)
  rec::U16 scr_row;     // 42 out: cursor row and column on the terminal
  rec::U16 scr_col;     // 44
  rec::U16 b46;         // 46
};
QV_RECORD(WmShow, 48);
QV_AT(WmShow, option, 4);
QV_AT(WmShow, cur_region, 36);

// --------------------------------------------------------- message record --
// One queued message: the head, then len characters of text.
// Types: 0 message, 1 warning, 2 error, 3 cancel.
struct WmMsgHead {
  rec::U32 key;
  rec::U16 type;
  rec::U16 len;
};
QV_RECORD(WmMsgHead, 8);

// --------------------------------------------------------- public heads --
// The records behind the handles. Callers may read them (and save and
// restore a region's state byte); the window manager owns every other field.
struct WmSrfRec {
  rec::U32 scope;     // recovery scope that owns the surface
  rec::U32 windows;   // windows attached to it
};
QV_RECORD(WmSrfRec, 8);

struct WmWndRec {
  rec::I16 row;       // 0 placed first row and column on the logical screen
  rec::I16 col;       // 2
  rec::U16 rows;      // 4
  rec::U16 cols;      // 6
  rec::U8 kind;       // 8
  rec::U8 scroll;     // 9
  rec::U8 active;     // 10 1 while active
  rec::U8 limbo;      // 11 1 while detached into limbo
  rec::U32 surface;   // 12 surface it is attached to (0 in limbo)
  rec::U32 region;    // 16 current region
  rec::U32 scope;     // 20
};
QV_RECORD(WmWndRec, 24);

struct WmRegRec {
  rec::U16 cur_row;   // 0 the region's first row within its window
  rec::U8 state;      // 2 1 once the region has been shown since it was last written
  rec::U8 number;     // 3 its place in the window's list of regions (1-based)
  rec::U16 rows;      // 4
  rec::U16 cols;      // 6
  rec::U32 window;    // 8
};
QV_RECORD(WmRegRec, 12);

// ------------------------------------------------------------- keymaps --
// A stored keymap: the head, then `count` entries, each a KmEntryHead, its
// key sequence and its values (u32 each: an option code 0-65535, or
// kKmChar | byte for a character a macro types). One value is a plain key;
// several are a macro.
constexpr uint32_t kKmChar = 0x10000;
constexpr uint8_t kKmVersion = 1;
constexpr size_t kKmMaxSeq = 32;
constexpr size_t kKmMaxValues = 64;

struct KmHead {
  rec::Text<4> magic;     // 0 "QVKM"
  rec::U8 version;        // 4
  rec::U8 origin;         // 5 0 installed by the bootstrap, 1 recorded with the keymap utility
  rec::U16 esc_delay;     // 6 milliseconds to wait for the rest of a key sequence
  rec::Text<32> term;     // 8 terminal type
  rec::Text<3> user;      // 40 user id; blank = every user
  rec::U8 b43;            // 43
  rec::U32 count;         // 44 entries
  rec::U32 length;        // 48 bytes of the whole record
  rec::U32 checksum;      // 52 of the bytes after the head
  rec::Bytes<8> b56;      // 56
};
QV_RECORD(KmHead, 64);
QV_AT(KmHead, term, 8);
QV_AT(KmHead, count, 44);

struct KmEntryHead {
  rec::U8 seq_len;        // 1-32
  rec::U8 nvalues;        // 1-64
};
QV_RECORD(KmEntryHead, 2);
