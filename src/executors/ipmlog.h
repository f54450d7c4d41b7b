// The modification log of Input processes: STDMLOG (declared with the PCF
// verbs, process/pipcf.h PiModLog, Pcb::mod_log) gets a record per add,
// change and delete of the process's own file; when the user leaves with
// END or CANCEL, the process that heads the log runs "STANDARD MOD LOG" of
// "0LA" over it.
//
// Who keeps a run's log (ip_log_head):
//   - a process of a system application (its id begins with '0'), or one
//     without a calling process, keeps none;
//   - a SUBPROCESS called by an Input process writes into its caller's log
//     (none when the caller keeps none) and lets go of it when its run ends;
//   - any other process heads a log of its own when OPERATIONAL PHASE is 3.
//     (OPERATIONAL PHASE 2 with a modification-log file named by the
//     process definition heads one too; no definition names one yet.)
// A log is written only when the PCF's fields can be read from its ELEMENT
// dictionary (pcf_delem); else the run keeps none, after the system error.
#pragma once

struct Pcb;

// A new STDMLOG for the process (the previous one closed); 1, or 0 after
// the system error "runtime STDMLOG file create failed".
int mod_start(Pcb* pcb);
// 1 when the PCF's file record and its fields can be had for the log; 0
// after the system error ("can't locate pcf cap", "can't open pcf delem
// file").
int pcf_delem(Pcb* pcb);
// True when the process heads the log it writes (not its caller's).
bool ip_log_heads(Pcb* pcb);
// The log head of a run (above); `may_start` false (automatic mode) only
// shares a caller's log.
void ip_log_head(Pcb* pcb, bool may_start);
// A run's end: a process writing its caller's log lets go of it.
void ip_log_release(Pcb* pcb);
// The head's END or CANCEL: when its log holds a record, "STANDARD MOD LOG"
// of "0LA" 00 runs as a SUBPROCESS of it with its surfaces, and the log is
// closed (so it runs once); that run ending with 37 unwinds with 37.
void ip_mod_end(Pcb* pcb);

// The log head of ip_exec for the length of the run: set up at its start,
// let go of (a caller's log) however the run ends.
struct IpLogRun {
  Pcb* pcb;
  explicit IpLogRun(Pcb* p) : pcb(p) { ip_log_head(pcb, true); }
  ~IpLogRun() { ip_log_release(pcb); }
  IpLogRun(const IpLogRun&) = delete;
  IpLogRun& operator=(const IpLogRun&) = delete;
};
