// The process control block (PCB): the 640-byte run-time record of one
// running process, owned by the PCB work file ("PI"/"PC", stored by
// reference, so a read by key yields the block itself). Its head is the
// family number and a copy of the invocation (os.h PcbHead lays the same
// bytes for the trace).
//
// Also here: the two records the interpreter reaches through a PCB: the
// status record (area 7 of the area address table) and the debugger block.
#pragma once

#include <cstdint>

#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/record.h"

struct EmHeader;
struct FmArb;
struct WmShow;

// The debugger's block of a process (PCB byte 628; made by the debugger).
struct PcbDbg {
  rec::I32 stmt_block;     // 0  current statement: code reference (block, offset), -1 none
  rec::I32 stmt_offset;    // 4
  rec::U32 err_pending;    // 8  1 while a run-time error waits in the debugger
  rec::U32 err_msg;        // 12 its message number
  rec::Bytes<16> b16;      // 16 the debugger's own
};
QV_RECORD(PcbDbg, 32);
QV_AT(PcbDbg, err_pending, 8);

// The run-time tables of a PCB, built from its module's compiled frames,
// images, items and children when the process first starts (init_pcb) and
// freed with its data (pi_free_data). Entry 0 of each table is unused; an
// entry whose compiled record is missing holds no record.
struct EmCfrm;
struct EmCimg;
struct EmCitm;
struct EmCchld;

// A frame: its compiled frame and the frame processor's state of it.
struct PcbFrameEnt {
  Ref<EmCfrm> cfrm;        // 0
  rec::U32 image;          // 4  the image attached now
  rec::U32 level;          // 8  entry level restored when the frame is entered again
  Ref<void> window;        // 12 the report window of a scrolling report frame
};
QV_RECORD(PcbFrameEnt, 16);
QV_AT(PcbFrameEnt, window, 12);

// An image: its compiled image, a flag asking to reset its items'
// signatures, and its window region (a report image: its report number).
struct PcbImageEnt {
  Ref<EmCimg> cimg;        // 0
  rec::U32 reset_sig;      // 4
  rec::U32 region;         // 8
};
QV_RECORD(PcbImageEnt, 12);
QV_AT(PcbImageEnt, region, 8);

// An item: its compiled item, two state bytes cleared when the table is
// built, the item's own flag (compiled item byte 249) and the flags the
// frame processor keeps.
struct PcbItemEnt {
  Ref<EmCitm> citm;        // 0
  rec::U8 source;          // 4  display source: 1 the field's value, 2 the item's empty value
  rec::U8 pending;         // 5  must be displayed
  rec::U8 shown;           // 6  displayed
  rec::U8 carry;           // 7  carry forward: the item's flag byte
  rec::U8 highlight;       // 8
  rec::U8 input;           // 9  accepts input
  rec::Bytes<2> b10;       // 10
  rec::U32 sig;            // 12 signature / attribute mask (all ones after a reset)
};
QV_RECORD(PcbItemEnt, 16);
QV_AT(PcbItemEnt, carry, 7);
QV_AT(PcbItemEnt, input, 9);
QV_AT(PcbItemEnt, sig, 12);

// A child: its compiled child and its value buffer (the constraint values
// of its invocation; empty until the child is invoked).
struct PcbChildEnt {
  Ref<EmCchld> cchld;      // 0
  rec::U32 len;            // 4
  Ref<uint8_t> values;     // 8
};
QV_RECORD(PcbChildEnt, 12);
QV_AT(PcbChildEnt, values, 8);

// A tag of a scrolling window: one record shown (or read ahead) in the
// window of an Input process's scrolling frame, from the process pool, in
// a chain in key order. It holds the record's id and the bytes of its key
// (in the PCF stream's key) as they were when it was read: the file reuses
// the id of a deleted record for the next one added, so a re-read whose key
// differs is another record and counts as not found. `key_len` key bytes
// follow the head.
struct PcbTag {
  Ref<PcbTag> next;        // 0
  Ref<PcbTag> prev;        // 4
  rec::U32 rid;            // 8  record id
  rec::U16 key_len;        // 12
  rec::Bytes<2> b14;       // 14
};
QV_RECORD(PcbTag, 16);
QV_AT(PcbTag, rid, 8);
QV_AT(PcbTag, key_len, 12);
inline uint8_t* pcb_tag_key(PcbTag* t) { return reinterpret_cast<uint8_t*>(t) + sizeof(PcbTag); }

// The scrolling-image block of an Input process whose frame scrolls: the
// frame's table entry and the tag list of the records shown in its window.
struct PcbScroll {
  Ref<PcbFrameEnt> frame;  // 0  the scrolling frame's entry
  rec::U32 region;         // 4  the frame's window region (0 while no window is attached)
  rec::U32 count;          // 8  tags
  rec::U32 row;            // 12 current row of the window (1-based, 0 none)
  rec::U8 at_end;          // 16 end reached
  rec::U8 no_more;         // 17 no more records
  rec::U8 del_row;         // 18 the current row's region goes before the row is shown again
  rec::U8 shown;           // 19 rows the window holds now
  Ref<PcbTag> first;       // 20 first tag
  Ref<PcbTag> last;        // 24 last tag
  Ref<PcbTag> cur;         // 28 current tag
  rec::U16 wnd_rows;       // 32 rows of the window
  rec::U16 rec_rows;       // 34 rows one record takes (the image's rows)
  rec::U8 b_redraws;       // 36 counts the window's redisplays (wraps)
  rec::Bytes<3> b37;       // 37
};
QV_RECORD(PcbScroll, 40);
QV_AT(PcbScroll, at_end, 16);
QV_AT(PcbScroll, del_row, 18);
QV_AT(PcbScroll, first, 20);
QV_AT(PcbScroll, cur, 28);
QV_AT(PcbScroll, wnd_rows, 32);
// A reused PCB starts its scrolling block afresh: no tags (they are freed),
// no row, both flags clear (the frame and its region stay).
void pcb_scroll_reset(PcbScroll* s);

// The frame processor's state of a running process (PCB bytes 420-519,
// cleared at each start with the rest of the run state): what is shown and
// where the cursor goes, which the image statements read and change.
struct PcbRun {
  rec::U32 frame;              // 0  current frame: its sequence (0 none)
  rec::U32 image;              // 4  current image: its sequence (0 none)
  rec::U32 curs_req;           // 8  cursor request code of the next show (wmshow::kReq*)
  rec::I32 req_row;            // 12 requested cursor row and column
  rec::I32 req_col;            // 16
  rec::U32 shown;              // 20 the region last shown
  rec::I32 curs_row;           // 24 cursor row and column where the last wait left it
  rec::I32 curs_col;           // 28
  rec::U8 redisplay;           // 32 an item's window was in limbo: show it again
  rec::Bytes<3> b33;           // 33
  Ref<uint8_t> dyn_first;      // 36 items defined at run time (DEFINE), in definition order
  Ref<uint8_t> dyn_last;       // 40
  rec::U32 cur_item;           // 44 the current field: the item under the cursor, 0 none
  rec::Bytes<52> b48;          // 48
};
QV_RECORD(PcbRun, 100);
QV_AT(PcbRun, cur_item, 44);
QV_AT(PcbRun, curs_req, 8);
QV_AT(PcbRun, shown, 20);
QV_AT(PcbRun, redisplay, 32);
QV_AT(PcbRun, dyn_first, 36);

struct Pcb {
  rec::U32 family;             // 0
  PiInvoc invoc;               // 4   bytes 136-139 (invoc.completion) hold the running result
  rec::U16 generation;         // 148 key tail
  rec::U8 alternation;         // 150 key tail
  rec::U8 heads_family;        // 151 1 when this PCB heads its family
  rec::U8 running;             // 152 1 while the runner drives this PCB
  rec::Bytes<3> b153;          // 153
  Ref<void> report;            // 156 report control block shared with output children
  rec::Bytes<60> out_state;    // 160 Output executor and PCF record operations
  rec::U16 gen_source;         // 220
  rec::U16 pool_scope;         // 222 scope of the process pool: the process scope the run started in
  Ref<EmHeader> module;        // 224 executable module
  rec::U32 pool;               // 228 process pool
  Ref<Pcb> area_owner[13];     // 232 per data-area class: the PCB whose SAA records hold its areas
  Ref<Pcb> area_from[13];      // 284 per class: the caller's owner that hands values down, or none
  Ref<Ref<uint8_t>> area_addr; // 336 area address table: one per data area plus one
  rec::U16 saa_classes;        // 340 bit c: this PCB owns SAA records of class c
  Ref<uint8_t> rid_copy;       // 342 PCF verbs: the record id last read or written (CPY_RID)
  rec::U16 rid_len;            // 346 its length
  Ref<Pcb> next;               // 348 a process that replaces this one
  rec::Bytes<16> frame_state;  // 352
  Ref<void> pcf_entry;         // 368
  Ref<FmArb> pcf_stream;       // 372
  Ref<uint8_t> pcf_buf1;       // 376
  Ref<uint8_t> pcf_buf2;       // 380
  rec::Bytes<8> input_state;   // 384
  Ref<void> cns_scb;           // 392
  Ref<void> query_scb;         // 396
  rec::Bytes<12> run0;         // 400 run state cleared at each start
  rec::U32 surface1;           // 412
  rec::U32 surface2;           // 416
  PcbRun run;                  // 420 frame-processor state
  Ref<FmArb> msg_file;         // 520 message file of the process
  Ref<FmArb> prev_msg[4];      // 524
  rec::Bytes<4> fp540;         // 540
  Ref<PcbFrameEnt> frame_tbl;  // 544 by frame sequence, 1 .. frame count
  Ref<FmArb> mod_log;          // 548 Input: the open modification log (STDMLOG), none when 0
  Ref<PcbImageEnt> image_tbl;  // 552 by image sequence, 1 .. image count
  Ref<PcbItemEnt> item_tbl;    // 556 by item number, 1 .. item count
  Ref<PcbChildEnt> child_tbl;  // 560 by child sequence, 1 .. child count
  Ref<FmArb> pif;              // 564 parameter file (PASS), in the process pool's scope
  rec::Bytes<8> tbl_words;     // 568
  Ref<void> break_tbl;         // 576
  rec::Bytes<4> rpt580;        // 580
  rec::U32 break_count;        // 584
  rec::Bytes<16> rpt588;       // 588
  rec::U32 window;             // 604 window of an Action, Update or Job process
  Ref<WmShow> show;            // 608 its show block
  Ref<PcbScroll> scroll_img;   // 612 Input: the scrolling frame's block
  Ref<void> dyna;              // 616 Input: the dynamic-key state (pipcf.h PiDyna)
  rec::U32 sub_pool;           // 620
  Ref<void> stat_line;         // 624
  Ref<PcbDbg> dbg;             // 628 debugger block, cleared before event point 01
  Ref<void> profile;           // 632
  rec::Text<3> lang;           // 636
  rec::U8 b639;                // 639
};
QV_RECORD(Pcb, 640);
QV_AT(Pcb, invoc, 4);
QV_AT(Pcb, generation, 148);
QV_AT(Pcb, pool_scope, 222);
QV_AT(Pcb, report, 156);
QV_AT(Pcb, gen_source, 220);
QV_AT(Pcb, module, 224);
QV_AT(Pcb, area_owner, 232);
QV_AT(Pcb, area_addr, 336);
QV_AT(Pcb, area_from, 284);
QV_AT(Pcb, saa_classes, 340);
QV_AT(Pcb, running, 152);
QV_AT(Pcb, rid_copy, 342);
QV_AT(Pcb, next, 348);
QV_AT(Pcb, mod_log, 548);
QV_AT(Pcb, dyna, 616);
QV_AT(Pcb, pcf_entry, 368);
QV_AT(Pcb, cns_scb, 392);
QV_AT(Pcb, surface1, 412);
QV_AT(Pcb, run, 420);
QV_AT(Pcb, msg_file, 520);
QV_AT(Pcb, frame_tbl, 544);
QV_AT(Pcb, image_tbl, 552);
QV_AT(Pcb, item_tbl, 556);
QV_AT(Pcb, child_tbl, 560);
QV_AT(Pcb, scroll_img, 612);
QV_AT(Pcb, tbl_words, 568);
QV_AT(Pcb, break_count, 584);
QV_AT(Pcb, window, 604);
QV_AT(Pcb, show, 608);
QV_AT(Pcb, sub_pool, 620);
QV_AT(Pcb, dbg, 628);
QV_AT(Pcb, lang, 636);

// The status record of a process: area 7 of its area address table. Only
// the fields read here are named.
constexpr int kPcbStatusArea = 7;
struct PcbStatus {
  rec::U32 errors;       // 0  ERRORS
  rec::U32 warnings;     // 4  WARNINGS
  rec::Bytes<28> b8;     // 8
  rec::U16 option;       // 36 OPTION
};
QV_RECORD(PcbStatus, 38);
QV_AT(PcbStatus, option, 36);

// The status record of a PCB, or null when its area table has none.
PcbStatus* pcb_status(Pcb* pcb);
