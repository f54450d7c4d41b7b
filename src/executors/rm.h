// The report manager: report pages are composed in page buffers before they
// are printed. A report has two chains of page buffers, the body chain
// (detail, range and total frames) and the heading chain (page headings and
// footings, report start and end frames). Within a chain buffers are
// stacked by id: 0 is the page buffer; a frame may open a newer buffer,
// write into it beside what is already on the page and merge it down. An
// image is written below the deepest line already used in its own columns,
// so images stand side by side; merging places a newer buffer below the
// deepest line used in the columns it occupies. Printing writes the page
// buffer's lines to the print file (pmunix.h), keeping groups of lines on
// one page and signalling when a new page or the page footing is due.
// Scrolling windows divide an area of the page into regions that images
// fill one after another.
//
// rm.cpp: reports, the registry, windows and regions; rmbuf.cpp: buffers,
// merging and printing; rmimg.cpp: compiling, executing and writing report
// images; rmupd.cpp: item and characteristic updates of an executed image.
//
// Every record here lives in the report's pool (arena memory); the address
// slots are arena references. Buffers, lines, runs, windows and regions are
// kept in arena arrays rather than keyed work files: the report only ever
// reaches them by buffer id, line number and window id.
#pragma once

#include <cstdint>

#include "executors/pmunix.h"
#include "foundation/mm.h"
#include "foundation/record.h"
#include "process/pishr.h"
#include "screen/wmrec.h"

struct FmArb;

// Report status values (RmRpt::status).
constexpr uint32_t kRmOk = 1;
constexpr uint32_t kRmNoFile = 300580;      // a work file or the print file was not created
constexpr uint32_t kRmNotExec = 200790;     // image not executed
constexpr uint32_t kRmBadBuf = 200800;      // buffer id above the newest
constexpr uint32_t kRmNotFound = 200810;    // image or item not found
constexpr uint32_t kRmNewPage = 200820;     // a new page must start first
constexpr uint32_t kRmFooting = 200830;     // the page footing is due

constexpr int kRmMaxRows = 21;
constexpr int kRmMaxCols = 255;
constexpr int kRmOptsLen = 1512;            // the copy of the print options area

// A characteristic run of a line (16 bytes): attribute and colour over
// columns start .. start + len - 1 of the line.
struct RmRun {
  rec::U32 line;
  rec::U32 attr;
  rec::U16 start;
  rec::U16 len;
  rec::U8 colour;
  rec::Bytes<3> spare;
};
QV_RECORD(RmRun, 16);
QV_AT(RmRun, start, 8);
QV_AT(RmRun, colour, 12);

// A line of a buffer: this header, then the text (width characters and a
// zero byte): width + 11 bytes in all.
struct RmLine {
  rec::U32 number;
  rec::U32 runs;       // characteristic runs on the line
  rec::U8 printed;
  rec::U8 group;       // 1: the first line of a block kept on one page
};
QV_RECORD(RmLine, 10);
QV_AT(RmLine, printed, 8);
inline char* rm_line_text(RmLine* l) { return reinterpret_cast<char*>(l) + sizeof(RmLine); }

struct RmBuf;

// The regions of a kind-1 window: one stand-alone buffer per filled region,
// numbered from 0 in the order they were filled.
struct RmRegions {
  rec::U32 count;
  rec::U32 cap;
  Ref<Ref<RmBuf>> bufs;
};
QV_RECORD(RmRegions, 12);

// A scrolling window of a buffer (56 bytes). Kinds: 1 matrix (regions filled
// down, then across, flushed a row of regions at a time), 2 regions across
// then down, 3 rows with messages.
struct RmWnd {
  rec::U16 id;
  rec::U16 kind;
  rec::U32 rows, cols;
  rec::U32 reg_rows, reg_cols;
  rec::U32 across, down, count;
  rec::U32 cur;           // current region (1 ..), 0: not placed
  rec::U32 start_line, start_col;
  rec::U32 cur_line, cur_col;
  Ref<RmRegions> regions; // kind 1
};
QV_RECORD(RmWnd, 56);
QV_AT(RmWnd, reg_rows, 12);
QV_AT(RmWnd, cur, 32);
QV_AT(RmWnd, start_line, 36);
QV_AT(RmWnd, regions, 52);

// What a frame asks of a window: kind, rows and columns, region rows and
// columns.
struct RmWndDesc {
  int kind = 0;
  int rows = 0, cols = 0;
  int reg_rows = 0, reg_cols = 0;
};

// A page buffer.
struct RmBuf {
  rec::U16 id;
  rec::U16 next_wnd;       // next window id, from 1
  rec::U16 width;          // the report width
  rec::U16 spare16;
  rec::U32 last;           // last line used
  rec::U32 pending;        // blank lines to print before its first line
  Ref<Ref<RmLine>> lines;  // by line number 1 .. line_cap (none: no such line)
  rec::U32 line_cap;
  Ref<RmRun> runs;         // characteristic runs, in the order written
  rec::U32 run_count;
  rec::U32 run_cap;
  Ref<Ref<RmWnd>> wnds;    // windows, by slot
  rec::U32 wnd_count;
  rec::U32 wnd_cap;
  Ref<char> work;          // work line, width + 11 bytes
  Ref<RmBuf> prev, next;   // ring of the chain through its page buffer
  Ref<RmBuf> spare;        // kept for reuse
  Ref<rec::U32> depth;     // per column 1 .. width: last line written there (0 none)
  rec::U32 printed;        // last line printed of the page buffer (0 none)
};
QV_RECORD(RmBuf, 72);
QV_AT(RmBuf, lines, 16);
QV_AT(RmBuf, wnds, 36);
QV_AT(RmBuf, depth, 64);

// The execution image of a report image: its text (rows x columns), 8 bytes
// of attribute per cell and the row flags.
struct RmCell {
  rec::U32 attr;
  rec::U8 colour;
  rec::Bytes<3> spare;
};
QV_RECORD(RmCell, 8);
struct RmXimg {
  Ref<char> text;
  Ref<RmCell> cells;
  rec::Bytes<22> row_flag;  // 1: the row holds a marked characteristic
  rec::Bytes<2> spare;
};
QV_RECORD(RmXimg, 32);

// A report item (RI, 228 bytes): the compiled window item with its first
// word replaced by the report image number. Its text slot points into the
// execution image once the image is executed.
using RmItem = WmItem;
// Float gap of a report item (255: the item does not float).
inline uint8_t& rm_item_float(RmItem& it) { return it.b224.b[0]; }

// A report characteristic (RC, 40 bytes): the compiled characteristic with
// its first word replaced by the report image number; byte 25 its flag
// (0x01 or 0x80: the characteristic marks its row).
using RmChr = WmChr;
inline uint8_t& rm_chr_flag(RmChr& c) { return c.b25.b[0]; }

// The image block (the IL record): a 31-byte header, then the compiled
// text, rows x columns. The record length is rows x columns + 31.
struct RmImg {
  rec::U16 number;         // 0  1, 2, ... per report; 1 is the report's blank-line image
  rec::U16 col;            // 2  column on the page (1 = left edge)
  rec::U32 rows;           // 4  0 to 21
  rec::U32 cols;           // 8  1 to 255
  rec::U8 compress;        // 12 0 none; 1 blank rows; 2 trailing blank rows; 3 both
  rec::U8 sep;             // 13 separator character, blank none
  rec::U8 before;          // 14 blank lines before
  rec::U8 after;           // 15 blank lines after
  rec::U8 keep;            // 16 lines kept below on the same page
  Ref<RmXimg> ximg;        // 17 execution image
  rec::U8 executed;        // 21
  Ref<RmItem> items;       // 22 its report items (RI), by column then row
  Ref<RmChr> chrs;         // 26 its report characteristics (RC)
  rec::U8 item_count;      // 30 (an image holds at most 255 items)
};
QV_RECORD(RmImg, 31);
QV_AT(RmImg, ximg, 17);
QV_AT(RmImg, executed, 21);
QV_AT(RmImg, items, 22);
QV_AT(RmImg, chrs, 26);
QV_AT(RmImg, item_count, 30);
constexpr uint32_t kRmImgHead = sizeof(RmImg);
inline char* rm_img_text(RmImg* b) { return reinterpret_cast<char*>(b) + kRmImgHead; }

// The report control block.
struct RmRpt {
  rec::Text<30> name;          // 0   the title's first 30 characters
  rec::U16 number;             // 30  from the engine's report counter
  Ref<RmBuf> body;             // 32  page buffer of the body chain
  Ref<RmBuf> head;             // 36  page buffer of the heading chain
  Ref<RmBuf> cur;              // 40  page buffer of the current chain
  Ref<Ref<RmImg>> images;      // 44  IL: by image number 1 .. img_cap
  rec::U32 img_cap;            // 48
  rec::U32 chr_count_unused;   // 52
  Ref<PmCtl> pc;               // 56  print control record
  rec::U32 pool;               // 60  the report's own pool
  rec::U16 scope;              // 64  scope of the pool
  rec::U16 img_count;          // 66  images compiled
  rec::Bytes<kRmOptsLen> opts; // 68  copy of the print options area
  rec::U16 page_len;           // 1580 0 = endless
  rec::U16 width;              // 1582 at most 255
  rec::I32 lines_left;         // 1584 counts up on an endless page
  rec::U32 page;               // 1588
  rec::Bytes<76> ident;        // 1592 identity fields of the print options area
  rec::Text<60> ident2;        // 1668
  rec::U8 page_ended;          // 1728
  rec::U16 foot;               // 1729 footing size in lines
  rec::U8 np_start, np_end;    // 1731 new page at start and at end (the form's)
  Ref<uint8_t> std_rec;        // 1733 the STD record (2176 bytes)
  Ref<RmImg> cur_img;          // 1737 image 1: the blank-line image, or PRINT's own
  Ref<uint8_t> work;           // 1741 image work area
  rec::U32 work_size;          // 1745
  Ref<RmImg> print_img;        // 1749 the PRINT instruction's image block
  rec::U32 print_img_size;     // 1753
  rec::U32 status;             // 1757
  Ref<FmArb> browse;           // 1761 the BROWSE file, none when not kept
  Ref<RmRpt> next;             // 1765 registry link
  rec::U32 body_lines;         // 1769 body lines printed on this page
  Ref<FmArb> std_fi;           // 1773 the STD work file (op.h), none before the report starts
  rec::Bytes<15> spare;        // 1777
};
QV_RECORD(RmRpt, 1792);
QV_AT(RmRpt, opts, 68);
QV_AT(RmRpt, page_len, 1580);
QV_AT(RmRpt, ident, 1592);
QV_AT(RmRpt, page_ended, 1728);
QV_AT(RmRpt, std_rec, 1733);
QV_AT(RmRpt, status, 1757);
QV_AT(RmRpt, next, 1765);

// The print options area (data area class 1, PdArea1 of process/pishr.h)
// of the report's copy.
inline PdArea1& rm_opts(RmRpt* r) { return rec::view<PdArea1>(r->opts.data()); }

// --- reports (rm.cpp) ---
// The report pool and the registry; the report counter starts at 0.
void rm_init();
// A new report: the control block, its pool (in the scope `scope`), work
// areas, image 1 (the blank-line image: no rows, as wide as the page), both
// chains and the print file (pm_bld, its path into path).
// status 1, or 300580 when the print file or a buffer was not created; the
// block is returned either way (null only after a system error).
RmRpt* rm_create(const char* title, const char* prt_name, int width, char path[255], int scope);
// The registered report of that number, or null.
RmRpt* rm_find(uint16_t number);
// Finishes the print file (pm_cleanup) and frees the report. 1.
int rm_cleanup(RmRpt* r);
// A window on buffer `buf_id` of the current chain: the next window id,
// checked and filled (wnd_fill). Null after a system error.
RmWnd* rm_attach(RmRpt* r, int buf_id, const RmWndDesc& d);
RmWnd* wnd_fill(RmRpt* r, RmBuf* b, const RmWndDesc& d);
// Flushes a kind-1 window's regions and deletes the window from its
// buffer. The window record itself stays (detached: id 0) for whoever keeps
// it, a frame entry; it goes with the report's pool.
void rm_wnd_release(RmRpt* r, RmWnd* w);
// Flushes a kind-1 window's regions and detaches the window.
int rm_detach(RmRpt* r, int buf_id, int wnd_id);
// Kind-1 window: merges rows of filled regions into the buffer. 1 when no
// region is left.
int rm_flush_reg(RmRpt* r, RmBuf* b, RmWnd* w);

// --- buffers (rmbuf.cpp) ---
// A new buffer in the current chain (reusing the newest one's spare). 1, or
// 0 with status 300580.
int rm_start(RmRpt* r);
// The buffer of that id in the current chain, and the newest one.
RmBuf* rm_buf(RmRpt* r, int id);
RmBuf* rm_newest(RmRpt* r);
// Makes the heading (true) or body chain current.
void rm_use_heading(RmRpt* r, bool heading);
// Merges every buffer above `id` down into it. 1, or 0 with status 200800.
int rm_empty(RmRpt* r, int id, int flush_windows, int final);
// Prints the page buffer of the current chain; position -1 starts a new page
// first, p > 0 goes to line p of the page first. 1, or 0 with status 200820
// (a new page must start first) or 200830 (the page footing is due).
int rm_print(RmRpt* r, int final, int position);
// Lines and runs of a buffer go (its windows too when asked); depths,
// last line and pending lines are zeroed.
void rm_reset_buf(RmRpt* r, RmBuf* b, bool windows);
void rm_destroy_buf(RmRpt* r, RmBuf* b);
// Merges source into target at column col (from 1) and line line (from 1).
int merge_buf(RmRpt* r, RmBuf* src, RmBuf* tgt, int col, int line, bool windows);
// Line n of a buffer, made (blank, width characters) when asked.
RmLine* rm_line(RmRpt* r, RmBuf* b, uint32_t n, bool make);
int rm_add_run(RmRpt* r, RmBuf* b, const RmRun& run);
// The deepest column depth of a buffer over columns from .. to (1-based,
// cut at its width).
uint32_t rm_depth(const RmBuf* b, int from, int to);
// A stand-alone buffer (a kind-1 window's region) of that width.
RmBuf* rm_new_buf(RmRpt* r, int width);

// --- images (rmimg.cpp) ---
// Stores a report image: a copy of the block's header and text (rows x
// columns after it), its items (228-byte window items) and characteristics
// (attribute bits 0xC170 kept). The stored block, or null after a system
// error.
RmImg* rm_cmpl_img(RmRpt* r, const RmImg* blk, const RmItem* const* items, int n_items, const RmChr* const* chrs,
                   int n_chrs);
// The image block of that number (1: the current block), or null.
RmImg* rm_img(RmRpt* r, int n);
// Fresh text, attributes and item addresses of image n. 1.
int rm_exec_img(RmRpt* r, int n);
// Writes image n into buffer buf_id of the current chain, with the messages
// of msgs (deleted as they are written) and in window w when given. 1.
int rm_write_img(RmRpt* r, int n, FmArb* msgs, int buf_id, RmWnd* w);
// Lines that the messages take wrapped at width.
int msg_line_cnt(FmArb* msgs, int width);
int cmprs_img(RmImg* b);
int float_item(RmRpt* r, RmImg* b);
void invis_chr(RmImg* b);

// --- updates (rmupd.cpp) ---
// Sets attribute bits over a rectangle of an executed image: each cell's
// attribute := (attribute & ~mask) | (value & mask). 1, or 0.
struct RmChrUpd {
  uint32_t image;
  int row, col, rows, cols;
};
int rm_upd_chr(RmRpt* r, const RmChrUpd& d, uint32_t value, uint32_t mask);
// Puts an item's value into the executed image's text (and, with a mask,
// sets its characteristic). 1, or 0 with status 200790 or 200810.
int rm_upd_itm(RmRpt* r, const RmItem& item, uint32_t value, uint32_t mask);
