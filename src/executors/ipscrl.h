// Scrolling frames of Input processes and the window work files.
//
// A scrolling frame repeats its image as rows of a window, one record per
// row (ipscrl.cpp). The PCB's scrolling block (process/pcb.h PcbScroll)
// keeps the tags of the records shown, in key order, each with its record
// id; rows are shown by running the frame in INTERACTIVE PHASE 5, which
// displays the image once into the current row without waiting.
//
// Every window an Input process attaches is recorded in the WCB work file,
// and every Input process run as SUBPROCESS of another Input process in the
// DIS work file (ipwcb.cpp), so that leaving a process detaches exactly the
// windows of it and of its child Input processes.
#pragma once

#include <cstdint>

#include "foundation/mm.h"
#include "foundation/record.h"

struct Pcb;
struct PcbTag;
struct FmArb;
struct WmWnd;

// ------------------------------------------------------------ WCB, DIS --
// A window attached by an Input process: one per (process, frame, image);
// image 0 is the frame's own window (a scrolling frame's). Key 0: family,
// application, name, instance, frame, image.
struct IpWcb {
  rec::U32 region;       // 0  the window's region handle (0 while detached)
  rec::U32 family;       // 4
  rec::Text<3> app;      // 8
  rec::Text<30> name;    // 11
  rec::U8 b41;           // 41
  rec::U16 instance;     // 42 the PCB's generation
  rec::U16 scope;        // 44 scope level of the process pool
  rec::Bytes<2> b46;     // 46
  rec::U16 frame;        // 48 frame sequence
  rec::U8 image;         // 50 image sequence (0 the frame's own window)
  rec::U8 keep;          // 51 1: the window stays when its process ends, unless forced
};
QV_RECORD(IpWcb, 52);
QV_AT(IpWcb, family, 4);
QV_AT(IpWcb, app, 8);
QV_AT(IpWcb, name, 11);
QV_AT(IpWcb, instance, 42);
QV_AT(IpWcb, scope, 44);
QV_AT(IpWcb, frame, 48);
QV_AT(IpWcb, image, 50);
QV_AT(IpWcb, keep, 51);

// An Input process run as SUBPROCESS of another Input process. Key 0:
// family, caller's application, name, instance (descending), this
// process's application, name, instance (descending).
struct IpDis {
  rec::U32 family;       // 0
  rec::Text<3> c_app;    // 4  the calling Input process
  rec::Text<30> c_name;  // 7
  rec::Bytes<1> b37;     // 37
  rec::U16 c_instance;   // 38
  rec::U32 c_scope;      // 40 scope level of its pool
  rec::Text<3> app;      // 44 this process
  rec::Text<30> name;    // 47
  rec::Bytes<1> b77;     // 77
  rec::U16 instance;     // 78
  rec::Bytes<4> b80;     // 80
  Ref<Pcb> pcb;          // 84 this process's PCB
};
QV_RECORD(IpDis, 88);
QV_AT(IpDis, c_app, 4);
QV_AT(IpDis, c_name, 7);
QV_AT(IpDis, c_instance, 38);
QV_AT(IpDis, c_scope, 40);
QV_AT(IpDis, app, 44);
QV_AT(IpDis, name, 47);
QV_AT(IpDis, instance, 78);
QV_AT(IpDis, pcb, 84);

// The Input process that is current (ip_inp_info): blank when none.
struct IpInpInfo {
  rec::Text<3> app;      // 0
  rec::Text<30> name;    // 3
  rec::U16 instance;     // 33
  rec::U16 scope;        // 35
  rec::Bytes<1> b37;     // 37
};
QV_RECORD(IpInpInfo, 38);

// Engine start (ip_init): the WCB and DIS memory work files of the engine
// run ("ip_init() - wcb file create failed", "... dis file create failed").
int ip_wcb_init();
// The two files (null before ip_wcb_init).
FmArb* ip_wcb_file();
FmArb* ip_dis_file();
// The current input information.
const IpInpInfo& ip_inp_info();

// Process start and end of an Input process: the current input information
// is saved into *saved (a reference to a copy in the engine's pool) and
// this process made current; a SUBPROCESS of the current Input process is
// recorded in DIS. ip_inp_leave puts the saved information back.
void ip_inp_enter(Pcb* pcb, uint32_t* saved);
void ip_inp_leave(Pcb* pcb, uint32_t* saved);

// The window of (process, frame, image): its WCB record found or made (with
// the window's keep flag, WmWnd::flag); a region recorded there is
// reattached on the surface and activated, else the window is attached and
// its region recorded. The region (0 after a system error); *reattached
// tells which.
uint32_t ip_attach(Pcb* pcb, WmWnd* wnd, uint32_t surface, int frame, int image, bool* reattached = nullptr);
// Detaches the windows of the process and, through DIS, of its child Input
// processes (their DIS records deleted): every window of a child; of the
// process itself those of `frame` (0 every frame), none when `self` is
// false. A kept window stays unless `force`. `del` deletes the WCB records
// of the windows detached. The PCBs' image entries and scrolling blocks
// that named a destroyed region are cleared.
void ip_detach(Pcb* pcb, int frame, bool self, bool force, bool del);
// Detaches every window of one frame of the process and deletes their
// records.
void ip_clr_frm(Pcb* pcb, int frame);

// ------------------------------------------------------------ scrolling --
// True when the process's current frame is its scrolling frame.
bool ip_scrolling(Pcb* pcb);
// The scrolling frame's sequence (0 none).
uint32_t ip_scroll_frame(Pcb* pcb);
// The scrolling frame's window: attached (ip_attach, image 0) when it has
// none. Its region, 0 when the process has no scrolling frame.
uint32_t ip_scroll_window(Pcb* pcb);
// Starts the PCF stream at the start of its key for a scrolling frame
// ("init_mode() - fm_start failed"), with no tags.
void ip_scroll_start(Pcb* pcb);

// Tag list primitives.
void add_tag(Pcb* pcb, bool at_end);
int get_tag(Pcb* pcb);
int nxt_tag(Pcb* pcb, uint32_t options);
void free_all_tags(Pcb* pcb);
PcbTag* first_vis(Pcb* pcb);
PcbTag* last_vis(Pcb* pcb);
int deactv_reg(Pcb* pcb);
// Fills the window from the current tag on, reading ahead.
void fill_wnd(Pcb* pcb);
// Reads to the end of the file, tagging and showing each record.
void scroll_to_end(Pcb* pcb);
// Acts on a scrolling key 320-325 (OPTION of the status record).
void ip_scroll(Pcb* pcb);
constexpr uint32_t kIpRdnxtOn = 8192;  // read-next option: go on after the current tag
// The list of an Input process whose first frame scrolls, as the input
// executor runs it (ipexec.cpp):
// The first page (the last with BUFFER SCROLLING IMG '1', which goes back
// to '0'), read from the start of the key.
void ip_scroll_first(Pcb* pcb);
// The current row's record read again in the process's phase (held in
// Change and Delete): 1 read, 2 delivered but held or locked elsewhere
// (the status in the stream), 0 when no row is left. A row whose record
// is gone goes, the rows below moving up and the next one current.
int ip_scroll_row(Pcb* pcb);
// The list started afresh at the record just read (key entry): its row
// first, the rows after it read ahead.
void ip_scroll_from(Pcb* pcb);
// The current row takes the record id of the record just rewritten, when
// it is still the row's record (its key unchanged).
void ip_scroll_retag(Pcb* pcb);
// End of an Input process: its windows go (ip_detach of the process and its
// child Input processes, deleting their records); a kept window stays
// while an Input process that called it is current.
void ip_wnd_cleanup(Pcb* pcb);
