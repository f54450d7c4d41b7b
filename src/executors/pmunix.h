// Print files: every report is written line by line into a plain text file
// of the print-file directory (QUVO_PRT_FI_DIR, else /tmp/), bold and
// underline as backspace overstrikes, pages separated by form feeds. When the
// report ends, a PATH.cfg file of -name=value lines is written beside it and
// the site's print script gets exactly two arguments, -config=PATH.cfg and
// PATH. The same file can be read back line by line or page by page.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/record.h"

// The open print file: descriptor, the reader's counters and the write
// buffer. Arena memory, in a pool of its own (pool).
struct PmStream {
  rec::I32 fd;
  rec::U32 pool;
  rec::U32 line;        // reader: line number of the last line returned
  rec::U32 page;        // reader: page of it; 0 = not positioned
  rec::U32 page_line;   // reader: line number at the start of the page
  rec::U64 page_off;    // reader: file offset of the page's first line
  rec::U64 line_off;    // reader: file offset of the last line returned
  rec::U64 off;         // reader: current file offset
  rec::Bytes<8192> buf; // writer: output waiting for the file
  rec::U8 flag;         // writer: error number of a failed write, 0 while all went out
  rec::U32 fill;        // writer: bytes in buf
};
QV_RECORD(PmStream, 8241);
QV_AT(PmStream, page_off, 20);
QV_AT(PmStream, buf, 44);
QV_AT(PmStream, fill, 8237);

// Print control record: one per report, with the report control block.
struct PmCtl {
  rec::Text<8> name;        // stem given by the caller (blank: "PRTFI"); then the created base name
  Ref<PmStream> stream;     // open file, none when closed
  rec::U32 line;            // writer: line within the page; reader: line returned or wanted
  rec::U32 blanks;          // reader: blank lines since the last page break
  rec::U32 page;            // writer: pages begun; reader: page returned or wanted (0 = by line)
  rec::Bytes<4> subst;      // substitution text, zero-ended ("amw")
  rec::U8 subst_len;
  rec::Text<10> format;
  rec::U8 mode;             // 1 HOLD, 2 SPOOL, 3 KEEP, 4 ONLINE
  rec::U8 disposition;      // 1 SCRATCH, 2 SAVE, 3 REQUEUE
  rec::Text<10> priority;
  rec::U32 copies;          // 1 to 254
  HostTime print_date;      // all bits of day set: none
  rec::U8 notify, banner, print;  // 1 = yes
  rec::U32 status;
  rec::Text<10> form_name;
  rec::Text<80> form_id;
  rec::Text<100> form_ctl;
  rec::Text<10> printer_name;
  rec::Text<80> printer_id;
  rec::Text<30> printer_queue;
  rec::Text<100> printer_ctl;
  rec::U8 printer_flag;
  rec::Text<256> rpt_options;
};
QV_RECORD(PmCtl, 737);
QV_AT(PmCtl, subst, 24);
QV_AT(PmCtl, mode, 39);
QV_AT(PmCtl, copies, 51);
QV_AT(PmCtl, print_date, 55);
QV_AT(PmCtl, status, 66);
QV_AT(PmCtl, form_name, 70);
QV_AT(PmCtl, printer_queue, 350);
QV_AT(PmCtl, printer_flag, 480);
QV_AT(PmCtl, rpt_options, 481);

constexpr uint8_t kPmHold = 1, kPmSpool = 2, kPmKeep = 3, kPmOnline = 4;
constexpr uint8_t kPmScratch = 1, kPmSave = 2, kPmRequeue = 3;
constexpr uint32_t kPmEof = 1, kPmNoFile = 2;
constexpr uint32_t kPmNotOpen = 0x10000, kPmCfgFailed = 0x20000;
// Clean-up: the print file could not be written whole (plus the error
// number); the script refused (plus the OsTrust rule it broke).
constexpr uint32_t kPmWriteFailed = 0x40000, kPmScriptRefused = 0x80000;

// Attribute run of a line: attribute word, start column (from 1), length.
struct PmRun {
  rec::U32 attr;
  rec::U16 start;
  rec::U16 len;
  rec::U32 colour;
};
QV_RECORD(PmRun, 12);
QV_AT(PmRun, colour, 8);

constexpr uint32_t kPmBold = 0x40, kPmUnderline = 0x100, kPmHidden = 0x30, kPmSubst = 0x3000;
// A substitution character read back: a blank marked with this.
constexpr uint32_t kPmSubstRead = 0x1000;
constexpr int kPmCols = 255;

// Print request. Writing: text, its attribute runs, the action and its line
// count. Reading fills text (kPmCols characters at most) and attrs (one word
// per character, kPmCols entries) of the caller's areas.
struct PmReq {
  Ref<char> text;
  rec::U16 text_len;
  Ref<PmRun> runs;
  rec::U8 run_count;
  rec::U8 action;           // 1 new page, 2 advance and print, 3 go to line
  rec::U32 count;           // lines to advance, or the target line
  Ref<rec::U32> attrs;
};
QV_RECORD(PmReq, 20);
QV_AT(PmReq, count, 12);
QV_AT(PmReq, attrs, 16);

constexpr uint8_t kPmNewPage = 1, kPmAdvance = 2, kPmGoto = 3;

// Creates a new print file (create-exclusive, so engines sharing the
// directory never take the same name; its PATH.cfg name is claimed with it,
// empty) and opens it for writing; its path, blank-padded, goes to path.
// 1, or 0.
int pm_bld(PmCtl* pc, char path[255]);
// 1, or 0 when no file is open, the action is none of those above, or the
// file could not be written (a full disk: nothing more is written then).
int pm_write(PmCtl* pc, const PmReq* req);
int pm_close(PmCtl* pc);
int pm_open(PmCtl* pc);
int pm_rdnxt(PmCtl* pc, PmReq* req);
int pm_read(PmCtl* pc, PmReq* req);
// Finishes the file: deletes it when it is not to be printed, else writes
// PATH.cfg and, unless the mode is KEEP, runs the print script. 0 with the
// status when no file is open, the file was not written whole, the .cfg
// cannot be made, or the script of the data directory is not trusted
// (os_trust_path): the files stay then and nothing runs.
int pm_cleanup(PmCtl* pc);

// The print file's path: the directory (with its final '/') and the name.
std::string pm_path(const PmCtl* pc);
