// The engine's Unix services: dynamically loaded functions, the memory-fault
// signal path, the stop signals, yielding to a network terminal, the background session id,
// sleeping and host facts.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/la.h"
#include "foundation/os.h"

struct FmFdb;

// --------------------------------------------------- dynamic loading --
// ref is "library,function": the text up to its last non-blank, split at
// the first comma; blanks around either name and any '%' in the library
// name (the keep-loaded mark of CALL) are dropped. The library is opened
// once (dlopen) and kept in the engine's list; the function is looked up
// once (dlsym) and kept in the library's list. Failures are logged on
// standard error ("dynamic load of %s failed with %s",
// "load of function %s failed with error %s") and give false.
//
// A library named by a path (a name with '/') is loaded only from the
// directories, or below them, that the data directory's quvo.env names in
// QUVO_LIB_DIRS (absolute, separated by ':'; both sides resolved through
// symbolic links): library names come from applications, which any member
// of the engine's group may change. A plain name is searched by the system's
// loader as usual.
bool ss_dyn_load(std::string_view ref, void** fn);
// Replaces the library directories of the data directory's quvo.env
// (tests); nullptr goes back to them.
void ss_dyn_set_dirs(const char* dirs);
// Closes the library named before the first comma and forgets it and its
// functions; nothing when it is not loaded.
void ss_dyn_free(std::string_view ref);
// Count of libraries in the list (tests and diagnostics).
int ss_dyn_count();

// ------------------------------------------------- memory-fault path --
// SIGSEGV and SIGBUS raised by the engine's own code end the running
// process with completion code 37: the handler throws ScopeUnwind{37} to
// the scope of the running process, the innermost process or sub-process
// scope (a SUBPROCESS child's fault ends the child, and its caller's
// invocation statement sees 37). The engine is
// compiled with -fnon-call-exceptions, so a faulting instruction can throw,
// and the handler runs only for synchronous faults (those the kernel raises
// for the faulting instruction), never for a signal sent by another process.
// Nothing longjmps. After a fault the handler is not ready until
// ss_reset_sig_handler: a second fault before that, a fault outside every
// scope, or a signal sent from outside is reported on standard error and
// ends the engine with exit status 37.
void ss_reset_sig_handler();
// The last fault: signal number and faulting address.
int ss_fault_signal();
const void* ss_fault_addr();
bool ss_fault_ready();

// Guarded file mappings. Another user may cut a shared file short at any
// time, and a page of its mapping past the file's new end then faults
// (SIGBUS) when touched, between any two checks of the file's size. A fault
// inside a guarded range [base, base + len) ends nothing: the handler puts a
// private page of zeros in the faulting page's place (writable when the
// mapping is; what is written there reaches no file), sets *cut to 1 and
// lets the faulting instruction go on. The owner of the mapping looks at
// *cut after each operation and answers damage, then maps the file afresh.
// The handler is the one above; until ss_reset_sig_handler installs it,
// guarding installs it for guarded faults alone, and any other fault goes
// to the disposition found before it (the default: the engine ends).
void ss_guard_map(void* base, uint64_t len, bool writable, volatile sig_atomic_t* cut);
void ss_unguard_map(void* base);

// ----------------------------------------------------- stop signals --
// While the interactive engine runs (ss_catch_stop_signals), SIGINT
// interrupts the running process, and SIGTERM and SIGHUP end the engine.
// The handlers only note the signal and set the debugger's interrupt bit
// (kSsInterruptBit) in the common block's control word, which the
// interpreter looks at where it yields; ss_yield sets the bit again while a
// signal is pending, should a change of the word have lost it. The
// interpreter then ends the running process as CANCEL ends it (completion
// code 4, every scope on the way released), and after SIGTERM or SIGHUP
// every process, up to the outermost scope (ss_stop_unwind); the engine
// then exits with kExitStopSignal. A signal that was ignored when the
// engine started (nohup, a job started in the background) stays ignored.
constexpr uint32_t kSsInterruptBit = 0x40000;
void ss_catch_stop_signals();
// Puts back the dispositions ss_catch_stop_signals found (tests).
void ss_release_stop_signals();
// An interrupt (SIGINT) not yet taken.
bool ss_interrupted();
// The SIGTERM or SIGHUP received (it stays until ss_stop_clear), 0 none.
int ss_stop_signal();
// How many processes an interrupt has ended since the last ss_stop_clear.
int ss_interrupts_taken();
// Takes a pending interrupt for a process that its caller ends itself
// (completion code 4), counted as ss_stop_unwind counts it: true when one
// was pending.
bool ss_take_interrupt();
// Forgets the interrupt and the end signal (tests; a new run).
void ss_stop_clear();
// Ends what a stop signal ends: after SIGTERM or SIGHUP (or ss_end_engine)
// every process, by an unwind with completion code 4 to the outermost
// scope; after SIGINT the innermost scope, with 4, and the interrupt is
// taken.
[[noreturn]] void ss_stop_unwind();
// Ends the engine from wherever it runs: every scope is released by an
// unwind with completion code 4 to the outermost scope, and the engine then
// exits with status (outside every scope it exits at once).
[[noreturn]] void ss_end_engine(int status);
// The exit status ss_end_engine or an end signal asked for, 0 none.
int ss_end_status();

// ------------------------------------------------- network terminal --
// While the engine serves a network terminal (com.net_socket set) and a
// ping is installed, pings the client and ends the engine with exit status
// 9 when it does not answer. Sets the interrupt bit while a stop signal is
// pending (above). Returns 1.
int ss_yield();
using SsPing = bool (*)();
void ss_set_ping(SsPing ping);

// ----------------------------------------------- background session --
// The 8-character session id of a background session (-s), blanks in an
// interactive one.
const char* ss_session();
void ss_set_session(std::string_view id);

// ---------------------------------------------------------- the rest --
// Waits the given seconds (interrupted waits go on).
void ss_sleep(unsigned seconds);

// Formats a host time as 16 digits, two per unit from century down to
// hundredths ("CCYYMMDDhhmmsshh", mask "0807060504030201") into out, which
// gets at most its length; out->len becomes the count written.
void ss_host_time(LaText* out, const HostTime& t);

// The operating-system path of a described file (its identity and path
// type, as the file manager maps them) as a counted text: the length and the
// characters, not zero-terminated, valid until the next call. Length 0 when
// no path can be built; the FDB's status says why.
LaText ss_bld_path(FmFdb* fdb);
// The file manager's mapping of a described file to its path, a layer above
// this one: set when the file manager starts (fm_serve_foundation). While it
// is not set ss_bld_path gives length 0 and leaves the FDB as it was.
using SsOsPath = int (*)(FmFdb* fdb, std::string* path);
void ss_set_os_path(SsOsPath fn);

// Host facts: type "LINUX", model (none), name (the node name).
struct SsHostInfo {
  std::string_view type;
  std::string_view model;
  std::string_view name;
};
void ss_host_info(SsHostInfo* out);
