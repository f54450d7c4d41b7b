// Services from above: what the process manager and the interpreter (layers
// 4 and 5) take from the executors and the design tools (layers 6 and 8),
// and what the runner takes from the interpreter. The upper layers fill the
// table at start-up (their registration calls in main); until they do, each
// slot holds a stand-in:
//   ii_proc_exec     nothing runs (0)          - the interpreter registers it
//   rt_err           writes the message text of the record to standard error
//   dbg_init         "debugger inactive" (false)
//   dbg_cleanup      does nothing
//   dbg_chk_watches  no watch changed (false)
//   dbg_stmt         "debugger inactive" (false, no option)
//   se_gen_stmt      no text (0)               - the statement text fills it
//   cnv_token        no token text (0)
//   pl_cache_rloc    no file cache: the operand becomes null
//   fp_get_reg       the region word of the current image's table entry
// Tests put scripted doubles in the slots and restore the table after.
//
// The debugger's control word is not a stand-in: dbg_ctl works on the common
// block's word and stack (below).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/record.h"

struct Pcb;
struct DStmt;
struct EmHeader;
struct IlfExecBlock;

// Argument of ii_proc_exec: the runner's call of a process event point, or
// (cchld set) the PCF verbs' call of a child's event point 61 or 62.
struct PiEpArg {
  Pcb* pcb;
  int event_point;       // 1-11; 61, 62 with cchld
  int result;            // out: II_EXEC_PROC's (II_EXEC_CHLD's) result
  int errors = 0;        // out: errors the event point reported
  const void* cchld = nullptr;  // the compiled child (EmCchld) of event points 61, 62
};

struct ProcServices {
  // --- the interpreter, for the runner and the file event driver ---
  void (*ii_proc_exec)(void* arg);                          // arg: PiEpArg
  // --- executors ---
  void (*rt_err)(void* pcb_or_block, const void* err_rec);  // ErrDisplay or runtime error record
  // --- design tools: debugger ---
  bool (*dbg_init)(Pcb* pcb, int mode);                     // mode 1: the run-time error handler
  void (*dbg_cleanup)(Pcb* pcb);
  bool (*dbg_chk_watches)(Pcb* pcb);
  bool (*dbg_stmt)(IlfExecBlock* block, void* state, int* option);
  // --- design tools: statement text ---
  int (*se_gen_stmt)(void* work, const DStmt* stmt, int a, int b);
  int (*cnv_token)(void* work, const DStmt* stmt, int operand);
  // --- module loader: a record field reference into an address in place ---
  int (*pl_cache_rloc)(EmHeader* module, void* operand, int kind);
  // --- executors: setups, executors, automatic executors, clean-ups ---
  // Each runs the process and ends by returning or by unwinding with its
  // completion code.
  void (*mp_setup)(Pcb* pcb);
  void (*ip_setup)(Pcb* pcb, uint32_t* input_state);
  void (*qp_setup)(Pcb* pcb);
  void (*mp_exec)(Pcb* pcb);
  void (*ip_exec)(Pcb* pcb);
  void (*ip_auto)(Pcb* pcb);
  void (*op_exec)(Pcb* pcb);
  void (*op_auto)(Pcb* pcb);
  void (*ap_exec)(Pcb* pcb);
  void (*qp_exec)(Pcb* pcb);
  void (*qp_auto)();
  void (*op_inquire)(Pcb* pcb);
  void (*mp_cleanup)(Pcb* pcb);
  void (*ip_cleanup)(Pcb* pcb, uint32_t* input_state);
  int (*op_cleanup)(Pcb* pcb);                              // a completion code
  void (*qp_cleanup)(Pcb* pcb);
  // --- executors: status line, run-time errors, print defaults, queries ---
  void (*mp_upd_stat)(Pcb* pcb);
  void (*ip_upd_stat)(Pcb* pcb);
  void (*rt_dflt_disp)(Pcb* pcb, const char* db);
  void (*qp_copy_pend)(int target_scope, int source_scope);
  // --- frame processor: the word holding the current image's window
  // region (fp_get_reg); null without a current frame or image, or when
  // the image has no region. With set_row, a scrolling frame's current row
  // becomes its region's current row first.
  rec::U32* (*fp_get_reg)(Pcb* pcb, int set_row);
};

// The table; slots are never null (a cleared slot gets its stand-in back at
// the next proc_services_reset).
extern ProcServices proc_svc;
// Puts every stand-in back.
void proc_services_reset();

// The stand-ins, for a caller that replaces only part of a slot's work.
void rt_err_stderr(void* pcb_or_block, const void* err_rec);

// ------------------------------------------------ executor stand-ins --
// Until the executors register, the executor slots hold doubles that log
// each call (name, the PCB's process key, invocation kind and automatic
// mode). An executor unwinds with the code scripted for its process type
// (default 2); op_cleanup returns its scripted code (default 1); the other
// doubles only log. rt_err logs and writes the record's texts to standard error.
struct ProcExecCall {
  const char* what;     // "ap_exec", "op_cleanup", "rt_err" ...
  int type;             // process type of the PCB (0 without one)
  char app[4], ver[3];
  char name[31];
  int kind;             // invocation kind
  int auto_mode;
  std::string text;     // rt_err: the record's message text and status text
  std::string values;   // the key-constraint values handed down (automatic mode 1)
};
const std::vector<ProcExecCall>& proc_exec_log();
void proc_exec_log_clear();
// The executor of a process type (1-10) unwinds with code (0: the default 2).
void proc_exec_script(int type, int code);
void proc_exec_cleanup_code(int code);
// Scripts codes from text "TYPE:CODE,..." (QUVO_TEST_EXEC); 0 for a
// malformed text (nothing is scripted then).
int proc_exec_script_text(const char* text);
void proc_exec_script_clear();

// The PCF script: the executor doubles of types 2, 3, 4, 7 and 9 run the
// steps given for their type (outside automatic mode: a cascaded child
// only logs) before they end, each step setting what it names and then
// calling a PCF verb, whose answer, result word, stream status and record
// are recorded (and, from the text form, written to standard error as
// "pcf VERB ANSWER RESULT STATUS |RECORD|").
struct PcfStep {
  int phase = -1;           // INTERACTIVE PHASE first (-1: as it is)
  int auto_mode = -1;       // the PCB's automatic mode (-1: as it is)
  bool open_log = false;    // STDMLOG opened as the input executor opens it
  std::vector<std::pair<uint16_t, std::string>> fields;  // bytes into the PCF record at offsets
  char verb = 0;            // r pi_read, n pi_rdnxt, w pi_write, u pi_rewrite, d pi_del, 0 none
  uint16_t op = 0;          // operation word of a read
};
struct PcfAnswer {
  char verb;
  int answer;
  int result;               // the PCB's result word after the verb
  uint32_t status;          // the PCF stream's status
  std::string record;       // the PCF record area after the verb
};
void proc_exec_pcf_script(int type, std::vector<PcfStep> steps);
const std::vector<PcfAnswer>& proc_exec_pcf_answers();
// The text form, after the codes of QUVO_TEST_EXEC and a ';':
// "TYPE=STEP|STEP...;TYPE=..."; a step is, in this order, optional pN
// (phase), aN (automatic mode), l (open the log), any number of @OFF=TEXT;
// (bytes at an offset, the text up to the ';'), then the verb letter and
// for a read its operation word in decimal. 0 for a malformed text.
int proc_exec_pcf_text(const char* text);

// ------------------------------------------------ debugger control word --
// Bits of com.dbg_ctl_bits.
constexpr uint32_t kDbgStepBits = 0xFF;        // 0-7 per-event-point stepping
constexpr uint32_t kDbgStep = 1u << 0;         // step every statement
constexpr uint32_t kDbgStepOut = 1u << 1;      // step out of a GOSUB
constexpr uint32_t kDbgRunToEnd = 1u << 2;     // run to the end of the event point
constexpr uint32_t kDbgStepProc = 1u << 16;    // set with bit 0 by operation 5
constexpr uint32_t kDbgNextStmt = 1u << 17;    // stop at the next statement
constexpr uint32_t kDbgBit18 = 1u << 18;
constexpr uint32_t kDbgBit24 = 1u << 24;
constexpr int kDbgStackSize = 256;

// Changes the control word: 1 push, 2 pop, 3 clear bits 0-7, 5 set 0 and 16,
// 6 clear 0, 7 set 2, 8 clear 2, 9 set 1, 10 clear 1, 11 set 17, 12 clear 17
// and 18, 13 set 18, 14 set 24, 15 clear 24; any other operation is the
// system error "Bad op parameter in dbg_ctl()". The stack holds 256 words: a
// push beyond them is counted but not stored, and its pop restores nothing;
// a pop of an empty stack changes nothing. (An instruction that changes the
// word while it runs tells the interpreter, ii.h ii_again.)
void dbg_ctl(int op);
