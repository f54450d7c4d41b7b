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
// type (1-10). A missing hook does nothing (sof, post_invoc, upd_stat),
// gives 22 (eof, img_exec) or lets the child run (pre_invoc).
struct FpHooks {
  void (*sof)(Pcb* pcb) = nullptr;                         // start of frame
  int (*eof)(Pcb* pcb) = nullptr;                          // end of frame: a frame result
  int (*img_exec)(Pcb* pcb) = nullptr;                     // an output image: a frame result
  int (*pre_invoc)(Pcb* pcb, const EmCchld* child) = nullptr;   // 0 refuses the child
  void (*post_invoc)(Pcb* pcb, const EmCchld* child) = nullptr;
  void (*upd_stat)(Pcb* pcb) = nullptr;                    // the status line
};
void fp_set_hooks(int proc_type, const FpHooks& hooks);
const FpHooks& fp_hooks(int proc_type);

// Runs frame number `frame` of the process; a frame result.
int fp_exec(Pcb* pcb, uint32_t frame);
// Runs the current frame's image; a frame result.
int exec_img(Pcb* pcb);
// Shows image `image` (its sequence) and waits, when `wait`, for an option
// that verify_opt accepts; `msgs` are the caller's messages (may be null).
void show_scr(Pcb* pcb, int image, bool wait, FmArb* msgs);
// 1 when OPTION may be acted on now, else 0 (with 300590 where due).
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
// Engine start (OsInit::Fp): work files, built-in invocations, switches.
int fp_init();
// Registers fp_init, the service slots and the interim executors.
void fp_register();
