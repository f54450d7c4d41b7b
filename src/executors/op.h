// The report output executor: Output processes (type 3) print their frames
// into a report of the report manager (rm.h) instead of the screen; Inquiry
// processes (type 9) show an interactive frame and print the report of one
// keyed record. The first Output process of a nesting creates the report
// (the report owner); its Output children print into the same pages.
//
// op*.cpp: the executor, report start and end, the standard headings and
// totals; opflow.cpp: the frame hooks (op_sof, op_eof, op_img_exec), the
// page flow (op_prt_buf, prt_pg_end, op_finish_pg), the compile of a
// process's images into the report (cmpl_img), OP_UPD_CHR, and the report
// seam of the interpreter (PRINT, TOTAL and the image statements).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "executors/rm.h"
#include "foundation/mm.h"
#include "foundation/record.h"
#include "language/ibmisc.h"
#include "process/pcb.h"

struct EmCfrm;
struct EmCimg;
struct FmArb;

// Frame classes (the compiled frame's code).
namespace opfrm {
constexpr int kDetail = 0, kRngStart = 1, kRngEnd = 2, kPageHead = 3, kPageFoot = 4;
constexpr int kRptStart = 5, kRptEnd = 6, kPreHead = 10, kPostHead = 11, kSepRpt = 13, kInquiry = 14;
}  // namespace opfrm

// The report fields of a PCB (its bytes 160-219: the executor's own).
struct OpPcb {
  Ref<Pcb> owner;              // 0  the report owner (the PCB itself for the owner)
  rec::U16 rpt_no;             // 4  report number when this PCB joined the report
  rec::U16 cur_buf;            // 6  page buffer images are written into (0 the page buffer)
  rec::U16 pgh_frm;            // 8  page heading frame (sequence, 0 none)
  rec::U16 pgf_frm;            // 10 page footing frame
  rec::U16 pre_frm;            // 12 pre-heading frame (class 10)
  rec::U16 post_frm;           // 14 post-heading frame (class 11)
  rec::U16 level;              // 16 nesting depth under the report owner
  rec::U16 gen_count;          // 18 frames and children generated for ranges
  rec::U16 cur_level;          // 20 range level being processed
  rec::U16 sum_count;          // 22 summary entries
  rec::U16 auto_count;         // 24 automatic-total entries among them
  rec::U16 levels;             // 26 range levels of the per-level arrays
  Ref<rec::U16> rng_line;      // 28 per level: buffer id at the range start
  Ref<rec::U16> rng_sfrm;      // 32 per level: range start frame
  Ref<rec::U16> rng_efrm;      // 36 per level: range end frame
  Ref<uint8_t> saved_rng;      // 40 range table saved at the start of the run
  Ref<struct OpSum> sums;      // 44 summary entries
  Ref<FmArb> stdhsub;          // 48
  Ref<FmArb> stdtsum;          // 52
  Ref<FmArb> stdhitm;          // 56
};
QV_RECORD(OpPcb, 60);
QV_AT(OpPcb, levels, 26);
QV_AT(OpPcb, stdhitm, 56);
inline OpPcb& op_pcb(Pcb* p) { return rec::view<OpPcb>(p->out_state.data()); }
inline RmRpt* op_rpt(Pcb* p) { return static_cast<RmRpt*>(p->report.get()); }

// More report fields of a PCB (its bytes 588-603), and the TOT file's handle
// (bytes 580-583).
struct OpPcbRun {
  Ref<uint8_t> saved_frm;      // 0  copy of the frame array (SETUP_INVOC_ARRAYS)
  Ref<uint8_t> saved_chld;     // 4  copy of the child array
  Ref<EmCfrm> cur_frm;         // 8  current frame record (op_sof)
  Ref<EmCimg> cur_img;         // 12 current image record
};
QV_RECORD(OpPcbRun, 16);
inline OpPcbRun& op_pcb_run(Pcb* p) { return rec::view<OpPcbRun>(p->rpt588.data()); }
inline Ref<FmArb>& op_tot(Pcb* p) { return rec::view<Ref<FmArb>>(p->rpt580.data()); }

// A sum bucket: a variable packed value (8 bytes and the scale byte, as the
// calculation variables hold it) and the overflow mark of a total whose
// integer part passed 15 digits (opstd.h).
struct OpBucket {
  rec::Bytes<8> value;         // 0  packed, 15 digits
  rec::U8 scale;               // 8  decimal places
  rec::U8 ovf;                 // 9  1: in overflow
};
QV_RECORD(OpBucket, 10);
QV_AT(OpBucket, ovf, 9);

// A summary entry (one per summary field of the module, then one per
// automatic-total item): the entry it rolls into, its sum buckets (one
// OpBucket per range level), the index of the innermost level, and for
// automatic totals the summary reference, PCB, item and image.
struct OpSum {
  Ref<OpSum> roll;             // 0
  Ref<uint8_t> buckets;        // 4
  rec::U16 inner;              // 8
  rec::U16 warned;             // 10 1 once the overflow warning was given
  Ref<uint8_t> sum_ref;        // 12
  Ref<Pcb> pcb;                // 16
  Ref<uint8_t> item;           // 20
  Ref<uint8_t> image;          // 24
};
QV_RECORD(OpSum, 28);
constexpr int kOpBucket = int(sizeof(OpBucket));

// A TOT record (20 bytes): an automatic-total item of an Output child, held
// for the report owner.
struct OpTot {
  rec::U8 level;               // 0  report level of the child (the key)
  rec::Bytes<3> spare;
  Ref<Pcb> pcb;                // 4
  Ref<uint8_t> sum_ref;        // 8
  Ref<uint8_t> item;           // 12
  Ref<uint8_t> image;          // 16
};
QV_RECORD(OpTot, 20);

// The STD record (2176 bytes): the standard page heading and column
// headings that the system application's Output processes print. Column
// 255's owner is the u16 at 516.
struct OpStd {
  rec::U32 page;               // 0
  rec::U16 width;              // 4
  rec::U16 counter;            // 6  image ordinal counter, from 1
  rec::U16 owner[255];         // 8  per column from 1: ordinal of the first detail image heading it
  rec::U8 colh_lines;          // 518 column heading lines 0-3
  rec::Text<60> title;         // 519
  rec::U8 underline;           // 579
  rec::U8 mode;                // 580 heading mode 0-3
  rec::U8 rebuild;             // 581 '1' rebuild the heading, '0' only the page number
  rec::U8 first_sub;           // 582
  rec::U8 last_sub;            // 583
  rec::Text<765> pgh;          // 584 three heading lines of the report width
  rec::Text<765> colh;         // 1349 two column heading lines and the underline line
  rec::Text<30> date;          // 2114
  rec::Text<30> page_label;    // 2144
  rec::U8 one;                 // 2174 '1'
  rec::U8 unused;              // 2175
};
QV_RECORD(OpStd, 2176);
QV_AT(OpStd, owner, 8);
QV_AT(OpStd, colh_lines, 518);
QV_AT(OpStd, mode, 580);
QV_AT(OpStd, pgh, 584);
QV_AT(OpStd, colh, 1349);
QV_AT(OpStd, date, 2114);
QV_AT(OpStd, one, 2174);

// --- the executor (op*.cpp) ---
void op_exec(Pcb* pcb);
void op_auto(Pcb* pcb);
int op_inquire(Pcb* pcb);
int op_cleanup(Pcb* pcb);
void rpt_start(Pcb* pcb);
int rpt_end(Pcb* pcb);
int load_frm_no(Pcb* pcb, int frame_class);
int chk_rng(Pcb* pcb);
void restore_dflt(Pcb* pcb);
// Range levels: one per entry of the PCB's range table (the sort breaks of
// the process file's query; entry 0 the whole file), or the one level 0 of
// a process without ranges. The range start (kind 1) or end (kind 2) frame
// of a level: the frame of class 1 or 2 whose group is the range's field
// (blank for level 0 without ranges) and, above 1, its occurrence; 0 none.
int load_rng_frm_no(Pcb* pcb, int level, int kind);
// Before the record loop of a process with a process file: the per-level
// buffer lines and frames (looked up on a first run, kept while the range
// table stays the same), the range table saved for chk_rng; without ranges
// the level-0 start frame runs.
void op_rng_setup(Pcb* pcb, bool first_run);
// One range event of the stream (200620 a start, 200370 an end of `level`):
// the new pages its flags ask for, the level's frame run at that level;
// after an end the level's totals roll out, the current level goes back to
// the innermost and the buffers above the level's start line merge down
// into it. `pass` holds what one pass between two records shares.
struct OpRngPass {
  int first_start = -1;   // the first level started in this pass
  bool new_page = false;  // the new page before a start was taken
};
void op_rng_event(Pcb* pcb, uint32_t status, int level, OpRngPass* pass);
// The end of the file of a process without ranges: the level-0 end frame,
// the roll of its totals, the merge back to the level-0 start line.
void op_rng_eof(Pcb* pcb);
// A record: the detail frame run at the current buffer, merged back to it
// unless the frame scrolls.
void op_rng_detail(Pcb* pcb, int detail);
// The standard headings and totals.
void gen_std_pgh(Pcb* pcb);
void op_bld_sum(Pcb* pcb);
void op_sum_roll(Pcb* pcb);

// --- the standard work files and generated range frames (opgen.cpp) ---
// The report's STD record written afresh into the STD work file of "0LA"
// 00 in the report's scope, which "STANDARD PAGE HEADING" and "STANDARD
// COLUMN HEADING" read as their own file: at report start and before each
// run of the heading frames.
void op_std_put(Pcb* pcb);
// Closes (with scratch) the report's STD, STDHSUB and STDTSUM files.
void op_std_close(Pcb* owner);
// The date and time of the page heading into std.date: the current time
// through the mask of QUVO_STD_PGH_MASK, else the date mask of the
// process's application record, else "06/05/77 04:03 02.01".
void gen_std_date(Pcb* pcb, OpStd& std);
// The headed items of the detail frame and the frames linked from it: each
// image takes the next ordinal of the STD record and the columns no image
// owns yet; an item with a heading gives one STDHITM record (left-aligned,
// a numeric item with an edit mask right-aligned), when the heading mode is
// 2 or the report owner's module asks for column headings.
struct OpStdHitm;
std::vector<OpStdHitm> oitm_rec(Pcb* pcb);
// At a range start of the current level: STDHSUB made afresh with the range
// field's label and its value in display form.
void fill_osub(Pcb* pcb);
// At a range end of the current level: STDTSUM made afresh with the range
// label (a range level's field label, a child's file name at level 0,
// blank for the owner's level 0), the total label (message 300610, 300620
// or 300600) and each automatic total of the detail images, edited by its
// item's mask, at its column (osum_rec).
void fill_osum(Pcb* pcb);
void osum_rec(Pcb* pcb, int level);
// The range frame generated where the process has none of its own: level
// 0 without ranges: a total frame when the process totals items itself; a
// range start when the range asks for a subheading and its field is of the
// process file's application; a range end when it asks for a subtotal. Its
// number follows the module's frames; 0 when none is generated.
int op_gen_rng_frm(Pcb* pcb, int level, int kind);
// Runs a range frame (kind 1 start, 2 end): a generated one fills STDHSUB
// or STDTSUM and runs "STANDARD SUBHEADING" or "STANDARD SUBTOTAL" of
// "0LA" 00 as its child; a defined one whose chain holds a frame of
// standard kind 1 has them filled first.
int op_run_rng_frame(Pcb* pcb, int frame, int kind);
// A frame number past the module's frames: a generated one.
bool op_frm_generated_no(Pcb* pcb, int frame);

// --- the executor's own (opexec.cpp, opstd.cpp) ---
// Runs "PRINT ON SCREEN" of "0LA" 00 (an Input process, SUBPROCESS of this
// one on its surfaces): its completion code, 4 when the user cancelled.
int op_print_on_screen(Pcb* pcb);
// Runs a process of "0LA" 00 of the type given as SUBPROCESS of this one on
// its surfaces (child_fail_mode as the invocation's): its completion code.
int op_run_0la(Pcb* pcb, const char* name, uint8_t type, uint8_t child_fail_mode);
// What the executor reads of the module beyond its named fields (process
// definition bytes as the designer sets them): the report message (246,
// 60 characters; two double quotes first: no progress window), the page
// width (306, u16; 0: the form's or 80), the footing line count (179,
// u16), the underline character (181; blank: '-'), the column-heading and
// pre-heading flags (376, 377), the print-file name (368, 8 characters)
// and the separate report process (213 application, 216 name).
struct EmHeader;
std::string_view op_em_rpt_msg(const EmHeader* em);
int op_em_page_width(const EmHeader* em);
int op_em_foot_lines(const EmHeader* em);
char op_em_uline(const EmHeader* em);
bool op_em_colh(const EmHeader* em);
bool op_em_pre_head(const EmHeader* em);
std::string op_em_prt_name(const EmHeader* em);
bool op_em_names_rpt(const EmHeader* em);
bool op_em_is_rpt_proc(const EmHeader* rpt_owner_em, const EmHeader* em);
// Puts the executor into the process services (op_exec, op_auto,
// op_inquire, op_cleanup in place of their stand-ins).
void op_exec_register();

// --- frames, images and page flow (opflow.cpp) ---
// Compiles the process's images into its report; their report numbers go
// to the image table's region words.
void cmpl_img(Pcb* pcb);
// Forgets the windows the process's scrolling frames kept in an earlier
// report: they went with that report's pool.
void op_forget_windows(Pcb* pcb);
// Frame start and end hooks of an Output or Inquiry frame (the current
// frame: pcb->run.frame).
void op_sof(Pcb* pcb);
int op_eof(Pcb* pcb);
// Prints the current image of the current frame: 22 go on to the next
// image, 21 stay on the frame.
int op_img_exec(Pcb* pcb);
// The executor's one print request: prints the page buffer and answers the
// report's page signals (new page: the heading frames; footing due:
// prt_pg_end). 1 printed, 0 refused (the lines left stored).
int op_prt_buf(Pcb* pcb, int final, int position);
// Ends the page once (the page footing at its place).
void prt_pg_end(Pcb* pcb);
// Prints the page buffer and ends the page (classes 5 and 6: starts a new
// page instead).
void op_finish_pg(Pcb* pcb, int frame_class);
// Writes the STD record's page number into heading line 2 so that it ends
// at the right edge of a report `width` wide: five digits with leading
// zeros, more when the number needs them.
void op_std_page_no(OpStd* s, int width);
// The compiled frame's and image's report flags (FRAME and IMAGE bytes as
// the designer sets them): flush, merge and new buffer before and after,
// blank lines, page ends, scroll kind (its window: rows and columns of the
// frame, regions as large as its largest image), standard kind, generated.
bool op_frm_flush_before(const EmCfrm* f);   // FRAME byte 90 '1'
bool op_frm_flush_after(const EmCfrm* f);    // 91
bool op_frm_merge_before(const EmCfrm* f);   // 92
bool op_frm_merge_after(const EmCfrm* f);    // 93
bool op_frm_new_buf(const EmCfrm* f);        // 94
int op_frm_before(const EmCfrm* f);          // 95: blank lines before
int op_frm_after(const EmCfrm* f);           // 96: blank lines after
bool op_frm_end_before(const EmCfrm* f);     // 97 '1': page end before
bool op_frm_end_after(const EmCfrm* f);      // 98
int op_frm_scroll(const EmCfrm* f);          // 84: 0 none, 1-3
int op_frm_std_kind(const EmCfrm* f);        // 99: 1 standard subheading or subtotal, 2 column headings
bool op_frm_generated(const EmCfrm* f);      // 100: 255
bool op_img_end_before(const EmCimg* i);     // IMAGE byte 99 '1'
bool op_img_end_after(const EmCimg* i);      // 100
// OP_UPD_CHR(bits, row, column, rows, columns) on the current image.
int op_upd_chr(Pcb* pcb, uint32_t bits, int row, int col, int rows, int cols);
// Runs a frame of the process by sequence during the page flow (headings
// and footings); fp_exec unless a test puts its own.
extern int (*op_run_frame)(Pcb* pcb, uint32_t frame);
// Fills the interpreter's report seam and the frame hooks of Output and
// Inquiry processes, and registers OP_UPD_CHR.
void op_register();
