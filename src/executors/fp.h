// The frame processor: runs the frames and images of a process. It is the
// loop between the executors (menu, input, output and inquiry, the batch
// runner) and the window manager's input wait: fp_exec runs one frame (its
// event points, its images, its automatic children, the frames chained
// after it and, for an Input process, the final write of its own record);
// exec_img runs one image (region, items, the wait, verification and the
// dispatch of the option the user chose).
//
// Field display, editing and look-ups: fpitm.h. Child invocation and the
// built-in children: fpchld.h. Run-time error display: rt.h.
#pragma once

#include <cstdint>

#include "foundation/record.h"

struct Pcb;
struct EmCfrm;
struct EmCimg;
struct EmCchld;
struct FmArb;

// Frame results: what fp_exec and exec_img return to the executors.
constexpr int kFpBack = 5;          // back out of the frame
constexpr int kFpAgain = 21;        // run the image again
constexpr int kFpDone = 22;         // frame done, go on
constexpr int kFpNext = 23;         // next record (display-only pass, option 261)
constexpr int kFpAdd = 27;          // mode keys 265-268
constexpr int kFpDelete = 28;
constexpr int kFpInquire = 29;
constexpr int kFpChange = 30;
constexpr int kFpDelAck = 31;       // option 305
constexpr int kFpScroll = 33;       // options 320-325
constexpr int kFpSkipped = 35;      // image not selected or not shown in phase 2
constexpr int kFpScanChose = 36;    // the scan child chose a record during key entry

// Where the frame processor and the executors meet: one table per process
// type (1-10). A missing hook does nothing (sof, post_invoc, upd_stat, leave),
// leaves the frame's result as it is (eof), gives 22 (img_exec) or lets the
// child run (pre_invoc). Until the Output and Inquiry executors register,
// an Output or Inquiry frame outside class 14 is a system error.
struct FpHooks {
  void (*sof)(Pcb* pcb) = nullptr;                         // start of frame
  int (*eof)(Pcb* pcb) = nullptr;                          // end of frame: a frame result
  int (*img_exec)(Pcb* pcb) = nullptr;                     // an output image: a frame result
  int (*pre_invoc)(Pcb* pcb, const EmCchld* child) = nullptr;   // 0 refuses the child
  void (*post_invoc)(Pcb* pcb, const EmCchld* child) = nullptr;
  void (*upd_stat)(Pcb* pcb) = nullptr;                    // the status line
  void (*leave)(Pcb* pcb) = nullptr;                       // END or CANCEL is about to end the process
};
void fp_set_hooks(int proc_type, const FpHooks& hooks);
const FpHooks& fp_hooks(int proc_type);

// Runs frame `frame` of the process (its sequence: 1 is the process's
// first frame); a frame result.
int fp_exec(Pcb* pcb, uint32_t frame);
// Runs the current frame's image; a frame result.
int exec_img(Pcb* pcb);
// Shows image `image` (its sequence) and waits, when `wait`, for an option
// that verify_opt accepts; `msgs` are the caller's messages (may be null).
void show_scr(Pcb* pcb, int image, bool wait, FmArb* msgs);
// The terminal changed size while show_scr waits: the waiting process's
// status line is laid out for the new width at once (wm_set_resized).
void fp_resized();
// 1 when OPTION may be acted on now, else 0; a refused key (not the empty
// option 65535) adds 300590.
int verify_opt(Pcb* pcb, int image);
// The image to show, made current: its sequence.
int fp_get_cimg(Pcb* pcb);
// The word holding the current image's region (service slot fp_get_reg).
rec::U32* fp_get_reg(Pcb* pcb, int set_row);
// True for an Output process, and an Inquiry process outside frame class 14.
bool is_output_frame(Pcb* pcb, const EmCfrm* frame);
// Shows a design error through rt_err, sets the completion code to 4 and
// unwinds the innermost scope with 4.
[[noreturn]] void dsgn_err(Pcb* pcb, uint32_t message);
// The compiled frame and child of the running process by sequence (null
// when there is none).
EmCfrm* fp_frame(Pcb* pcb, uint32_t seq);
// FP_UPD_CHR: changes a display characteristic of the current image's
// region; the argument holds five words: the attribute bits, then row,
// column, rows and columns. 0 when the image has no region.
int32_t fp_upd_chr(const uint32_t* args);

// ---------------------------------------------- the frame processor's own --
// The bytes of the compiled frame and image that the frame processor reads
// beyond their named fields (FRAME and IMAGE bytes as the designer sets them).
// The frame runs without display in OPERATIONAL PHASE 2 (FRAME byte 85 '1').
bool fp_frm_quiet(const EmCfrm* frame);
// The image is skipped in OPERATIONAL PHASE 2 (IMAGE byte 67 '1').
bool fp_img_quiet(const EmCimg* image);
// The image shows on the process's first surface (IMAGE byte 69 '1'), else
// on its second.
bool fp_img_first_srf(const EmCimg* image);
// The image's window kind (IMAGE byte 96): 2 and 3 are given up after ENTER.
int fp_img_wnd_kind(const EmCimg* image);
// The image's highest entry level (the largest display value of its items
// and children).
int fp_img_levels(const EmCimg* image);
// The compiled image of the running process by sequence (null when none).
EmCimg* fp_image(Pcb* pcb, uint32_t seq);
// True when the process has a PCF (its PCF name is not blank).
bool fp_has_pcf(Pcb* pcb);
// True when the process is in record-entry state: it has a PCF that is
// not opened read-only and one of its frames is interactive.
bool fp_record_entry(Pcb* pcb);
// Queues message `number` into the process's current message file.
void fp_msg(Pcb* pcb, uint32_t number);
// Runs event point `ep` of the frame or image (an image's code 45: its
// generated total statements); the errors it reported.
int fp_frm_ep(Pcb* pcb, const EmCfrm* frame, int ep);
int fp_img_ep(Pcb* pcb, const EmCimg* image, int ep);
// The final write of an Input process's own record: INTERACTIVE PHASE 1
// writes it (then phase 7), phase 7 rewrites it when it differs from the
// copy saved when it was read. 1 done (or nothing to do), 0 failed.
int fp_final_write(Pcb* pcb);
// The process's two surfaces, made in its pool's scope when it has none yet
// (a failure is a system error and unwinds with 4).
void fp_ensure_surfaces(Pcb* pcb);
// Removes the windows of the process's images (its run has ended).
void fp_release_regions(Pcb* pcb);

// Engine start (OsInit::Fp): work files, built-in invocations, switches.
int fp_init();
// Registers fp_init and the service slots.
void fp_register();
