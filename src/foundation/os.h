// System errors and the engine's services to the operating system.
//
// os_sys_err(module, line) reports the text already formatted into ut_dbg.
// While a screen is up the window manager's system-error window asks the user
// (it registers itself with os_set_sys_err_screen); otherwise a console prompt
// on the terminal offers Continue or CANCEL. Without a terminal to ask (standard
// input is not a terminal) the error is written to standard error and answered
// CANCEL. Continue returns to the caller; CANCEL unwinds the innermost recovery
// scope with completion code 3. With no scope at all, CANCEL ends the engine
// with exit code 3.
//
// The second half of this header is the program entry and the engine's
// services to the operating system (its Unix side is in ssunix.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/mm.h"
#include "foundation/record.h"

enum class SysErrAnswer { Continue, Cancel };

// Asked to answer one system error; module, line and the text of ut_dbg.
using SysErrAsk = SysErrAnswer (*)(const char* module, int line, const char* text);

// module is shown as the caller gives it: the upper-case source name, with
// or without its extension ("PIEXEC.C", "FP").
void os_sys_err(const char* module, int line);
// The same with the text given (copied into ut_dbg first).
void os_sys_err_text(const char* module, int line, const char* text);
// A failed file operation: "%s - %.*s" of text and the status's message.
void checkstat(uint32_t status, const char* text, const char* module, int line);

// The window manager's system-error window, used while a screen is up
// (nullptr when the screen goes down).
void os_set_sys_err_screen(SysErrAsk ask);
// Tests: answers every system error (nullptr restores the normal path).
void os_set_sys_err_responder(SysErrAsk ask);

// Every system error reported in this run, oldest first (bounded to the last
// 256), for tests and the error display.
struct SysErrRecord {
  std::string module;
  int line;
  std::string text;
};
const std::vector<SysErrRecord>& os_sys_err_log();
void os_sys_err_log_clear();
// Records a system error in that log without asking anyone: a fault the
// engine has already mended (a damaged file refused and rebuilt) that the
// error display should still show.
void os_sys_err_note(const char* module, int line, const char* text);

// The invocation record: which process to run and how it relates to its
// caller. The process runner's template `pi_invoc` and every copy (in the
// PCB, in compiled child invocations) share this layout.
struct PiInvoc {
  rec::Text<3> app;          // application id; blank asks for the default
  rec::Text<2> ver;          // application version
  rec::U8 type;              // process type 1-10 (Menu .. Status)
  rec::Text<30> name;        // process name; blank asks for the default
  rec::U8 kind;              // 0 SUBPROCESS, 1 RELATED, 2 DETACHED
  rec::U8 auto_mode;         // automatic executor when nonzero
  rec::U8 caller_mode;       // 1 caller resumes, 2 replaces the caller, 3 caller ends
  rec::U8 child_fail_mode;   // on a child result 4: 1 go on, 2 end caller, 3 fail caller
  rec::U8 independent;       // own family and scope; may go to the background
  rec::U8 query_edit_mode;
  rec::Text<4> reserved_text;
  rec::Bytes<2> spare0;
  rec::U32 surface1;         // surfaces handed to a SUBPROCESS
  rec::U32 surface2;
  rec::U32 reserved1;
  Ref<void> parent_pcb;      // PCB of the invoking process; null for the start-up invocation
  rec::U8 reserved2;         // 255
  rec::U8 key_path;          // 255: the module's default key
  rec::Text<3> query_app;
  rec::Text<30> query_name;
  rec::U8 reserved3;
  rec::U8 query_reuse;
  rec::Bytes<3> spare1;
  rec::U32 cns_count;        // key constraints handed to the child
  Ref<uint8_t> cns_positions;  // 6-byte entries: reserved, offset in the PCF record, length
  Ref<uint8_t> cns_descs;      // 16-byte entries
  rec::U32 cns_total;
  Ref<uint8_t> cns_values;     // the constraint values
  rec::U8 reserved4;
  rec::Text<3> pcf_app;      // the file that must be the PCF
  rec::U32 pcf_file;
  rec::I32 completion;       // completion code, set at the end of the run
  rec::Bytes<8> reserved5;
};
QV_RECORD(PiInvoc, 144);
QV_AT(PiInvoc, type, 5);
QV_AT(PiInvoc, name, 6);
QV_AT(PiInvoc, kind, 36);
QV_AT(PiInvoc, reserved_text, 42);
QV_AT(PiInvoc, surface1, 48);
QV_AT(PiInvoc, parent_pcb, 60);
QV_AT(PiInvoc, reserved2, 64);
QV_AT(PiInvoc, query_app, 66);
QV_AT(PiInvoc, query_name, 69);
QV_AT(PiInvoc, query_reuse, 100);
QV_AT(PiInvoc, cns_count, 104);
QV_AT(PiInvoc, cns_values, 120);
QV_AT(PiInvoc, pcf_app, 125);
QV_AT(PiInvoc, pcf_file, 128);
QV_AT(PiInvoc, completion, 132);
QV_AT(PiInvoc, reserved5, 136);

// Fills an invocation with the template values.
void os_invoc_template(PiInvoc* invoc);

// The invocation record shown on the system-error screen.
constexpr size_t kInvocSize = sizeof(PiInvoc);
extern uint8_t os_invoc[kInvocSize];
void os_err_set_invoc(const void* invocation);

// Writes "%s - %s\n" of module and ut_dbg to standard error while the common
// block's trace flag is set.
void TRACE(const char* module);

// The head of a process control block: its family number, then its copy of
// the invocation record (the rest of the 640-byte block is the process
// runner's).
struct PcbHead {
  rec::U32 family;
  PiInvoc invoc;
};
QV_RECORD(PcbHead, 148);
QV_AT(PcbHead, invoc, 4);

// Process trace entry. The event trace sets the hook (rt_trace) while its
// trace file is open and clears it (nullptr) when it closes. TRACE_QUVO
// returns 0 and writes nothing while no hook is set, and for a process of a
// system application (IS_ZUB_AP of the application in its PCB's invocation)
// unless QUVO_TRACE_0APPS is set; the variable is read once, when the hook
// is set. Otherwise it returns the hook's result.
using TraceHook = int (*)(int flags, int level, uint32_t msg, void* pcb, void* data);
void os_set_trace_hook(TraceHook hook);
int TRACE_QUVO(int flags, int level, uint32_t msg, void* pcb, void* data);

// =================================================== program entry ========
//
// Start-up (os_main), in this order: record the stack base; parse the command
// line (a refused command line prints the usage text and ends with 1 before
// anything else is touched); os_load_env; the network-terminal client for -c;
// check the data directory; os_init (common block, login name, signal
// handlers, QUVO_FAKE_TIME, the file manager); cv_init; the USER look-up;
// pi_init; for the interactive engine, the check of the command line's
// start-up invocation (os_hooks.start_check); then the run mode: bootstrap,
// remote file server, keymap utility or the interactive engine. Subsystems plug their initialisers and run-mode
// entries into the hooks below; an initialiser that is not set is skipped,
// a run mode whose entry is not set says so and ends with kExitNotBuilt.
//
// The network-terminal client is chosen by the option -c HOST[:PORT], not by
// any argument that happens to begin with 'c': arguments without a leading
// '-' belong to the application (RT_GETPARAM reads them), and "city=Rome"
// must not start the client. -h asks for the usage text (standard output,
// status 0); a refused command line prints its reason and a pointer to -h on
// standard error, status 1.
//
// Test hooks: settings that change who the user is or how the engine starts,
// boots and faults (QUVO_TEST_USER, QUVO_TEST_HOME, QUVO_TEST_FAULT,
// QUVO_TEST_BOOT_KILL, QUVO_TEST_BOOT_FAIL, QUVO_TEST_EXEC, QUVO_TEST_NO_PI, QUVO_TEST_PRINTENV).
// They are read only through os_test_hook. Its body is chosen when the
// program is linked: the engine users run (quvo) takes the library's, which
// honours none of them, whatever the environment, quvo.env or --NAME=VALUE
// say; the suite's engine (quvo-test) and the test programs link
// foundation/testbuild/ostest.cpp, which reads them from the environment.
// The usage text lists them only where they work.

// The value of the test hook name, or nullptr: always nullptr in the
// engine users run.
const char* os_test_hook(const char* name);
// Whether this program honours the test hooks.
bool os_test_hooks_honoured();

// Exit statuses of the engine.
constexpr int kExitNormal = 0;
constexpr int kExitUsage = 1;        // refused command line; failed conversions
constexpr int kExitNoKeymap = 3;     // no keymap for the terminal
constexpr int kExitNetGone = 9;      // the network-terminal client is gone
constexpr int kExitNoDataDir = 10;   // QUVOPATH unset, missing or not a directory
constexpr int kExitEmptyDataDir = 11;  // data directory without the system applications
constexpr int kExitEnvFile = 12;     // an environment file is unreadable or malformed
constexpr int kExitNoUser = 13;      // login name not in a non-empty USER file
constexpr int kExitNotBuilt = 14;    // the run mode is not available in this build
constexpr int kExitInitFailed = 15;  // a subsystem initialiser failed
constexpr int kExitStopSignal = 20;  // ended by SIGTERM or SIGHUP (every process ended with code 4)
constexpr int kExitNoTerminal = 21;  // a process waited for input with no terminal to read it from
constexpr int kExitLogout = 127;     // the session ended by logout
constexpr int kExitNotSound = 2;     // file utilities: a file is not sound or could not be rebuilt
// After a failed start-up invocation the status is its completion code
// (255 when the code does not fit an exit status).

// Runs the whole start-up and the chosen run mode; returns the exit status.
int os_main(int argc, char** argv);

// Stack base recorded by the program entry; bytes of stack in use below it.
void os_set_stack_base(const void* base);
size_t os_stack_used();

// Prints "QUVO startup failed because of the following\n", the reason
// line, "startup error: %d\n\n" on standard error and returns status.
int os_startup_fail(int status, const std::string& reason);

// The run-time error (its message number) that last ended an event point
// (the interpreter notes it; 0 none since os_clear_run_error), so that a
// start-up process ended by it can be reported with its own number and
// text, not only the completion code every run-time error shares.
void os_note_run_error(uint32_t msg);
uint32_t os_run_error();
void os_clear_run_error();

// ------------------------------------------------------ command line --
enum class RunMode : int {
  Interactive = 0,
  Usage = 1,
  Bootstrap = 2,      // -b
  FileServer = 3,     // -r
  KeymapUtility = 4,  // -k
  ThinClient = 5,     // -c HOST[:PORT]; taken before os_init
  FileUtility = 6,    // -fv / -fa / -fr FILE...; taken before the data directory check
};

// The parsed command line.
struct OsCmd {
  RunMode mode = RunMode::Interactive;
  bool help = false;             // -h / --help: usage on standard output, status 0
  std::string error;             // why the command line was refused (mode Usage)
  std::string client;            // -c HOST[:PORT]
  char file_util = 0;            // -fv verify, -fa analyse, -fr rebuild: 'v', 'a', 'r' (files in params)
  std::string db, app, ver;      // -d, -a, -v of the start-up invocation
  int type = 0;                  // -t: 1-10, 0 when not given
  std::string name;              // -p process name
  std::string session;           // -s background session id
  std::vector<std::pair<std::string, std::string>> env;  // --NAME=VALUE, in order
  std::vector<std::string> params;  // other arguments, for the application
  bool has_invocation() const {
    return !db.empty() || !app.empty() || !ver.empty() || type != 0 || !name.empty();
  }
};

// Parses argv (argv[0] is the program) into out and returns the run mode;
// a refused command line gives RunMode::Usage with out->error set.
RunMode os_parse_cmd(int argc, char** argv, OsCmd* out);
// The command line of this run (after os_main parsed it) and its arguments
// as given, for RT_GETPARAM.
const OsCmd& os_cmd();
int os_argc();
char** os_argv();
// Writes the usage text (-h). A refused command line prints its reason and
// one line pointing at -h instead, so that the reason stays on the screen.
void os_usage(FILE* to);
// The program as it was run (argv[0], "quvo" before os_main has it): the
// commands that messages advise are spelled with it.
const char* os_prog();

// ------------------------------------------------------ environment --
// Environment sources, later ones overriding earlier ones and the inherited
// environment: "quvo.env" in the data directory (QUVOPATH as the inherited
// environment or a --QUVOPATH= argument gives it), "quvo.env" in the home
// directory of the real user's password entry (QUVO_TEST_HOME replaces that
// directory where the test hooks work), then the --NAME=VALUE arguments.
//
// File syntax, line by line: blank lines and lines whose first non-blank is
// '#' are skipped; otherwise NAME=VALUE, NAME a letter or '_' followed by
// letters, digits and '_', with blanks allowed around the line. VALUE is the
// rest of the line, taken as it is; when it is enclosed in a pair of double
// or single quotes, the quotes are removed. Nothing is expanded. A missing
// file is skipped; an unreadable or malformed one is an error naming the
// file and line.
bool os_load_env(const OsCmd& cmd, std::string* error);
bool os_load_env_file(const std::string& path, std::string* error);
// The data directory's quvo.env reaches every user's engine, so it counts
// only when (1) it is a regular file, not a symbolic link, (2) owned by root
// or the data directory's owner, (3) writable by no one but its owner, and
// (4) the data directory lets no one else replace it (not group- or
// world-writable, or sticky). Otherwise 0 with a message naming the fix
// (the start-up ends with kExitEnvFile). A missing file, or a data
// directory that is missing or cannot be searched, is skipped (the data
// directory check reports the latter).
int os_load_data_env(const std::string& dir, std::string* error);
// Trust in a file of the shared data directory, which every member of its
// group may write: the rules quvo.env and saved modules share. A file is
// trusted when (1) it is a regular file (2) owned by root or one of the two
// trusted users, (3) writable by no one but its owner, (4) in a directory
// owned by root or a trusted user where no one else can rename or replace it
// (not group- or world-writable, or sticky). The first rule broken is given.
enum class OsTrust { Ok, NotRegular, Owner, Writable, Directory, Missing };
OsTrust os_trust(const struct stat& file, const struct stat& dir, unsigned trusted1, unsigned trusted2);
// The same for the file at path, every directory from top (inclusive) down
// to the file's own held to rule (4) and no component a symbolic link; a
// path not below top is checked from the root directory. Missing when the
// file is not there (or a component cannot be read); *where gets the path of
// the entry that broke the rule.
OsTrust os_trust_path(const std::string& top, const std::string& path, unsigned trusted1, unsigned trusted2,
                      std::string* where = nullptr);
// os_trust_path for a file of the data directory, trusting this user and
// the data directory's owner (this user when the directory cannot be read).
OsTrust os_trust_data(const std::string& path, std::string* where = nullptr);
// QUVO_LIB_DIRS as the data directory's quvo.env sets it ("" when it does
// not): the directories from which libraries named by a path may be loaded.
const std::string& os_lib_dirs();
// The home directory whose quvo.env is read ("" when there is none).
std::string os_home_dir();

// ---------------------------------------------------- data directory --
// QUVOPATH names the data directory; it must be set (there is no default).
// A fresh data directory is an existing, writable directory; the bootstrap
// (-b) builds the system applications' files in it, and optional settings
// go into its quvo.env. A directory holding nothing but quvo.env is empty:
// every run mode but the bootstrap refuses it.
enum class DataDir { Ready, Unset, Missing, NotDir, Unreadable, Empty };
// Checks the data directory; when it is not Ready, message says what is
// wrong and how to set it up.
DataDir os_check_data_dir(bool need_installed, std::string* message);
const char* os_data_dir();  // QUVOPATH, or "" when unset

// -------------------------------------------------- initialiser hooks --
// Start-up stages a later subsystem fills in, run in this fixed order.
// The first three run for every run mode but the usage and the network
// client; the rest only for the interactive engine.
enum class OsInit : int {
  FileManager,   // starts the file manager (part of os_init)
  Cv,            // cv_init
  Pi,            // pi_init
  SaMessages,    // opens the System Administration message files
  Wm, Pc, Pl, Rt, Sc, Ii, Se, Rm, Fp, Mp, Ip, Ap, Qp, Dd,
  Install,       // the first-run installation step
  Count
};
// An initialiser returns 1, or 0 after formatting its reason into ut_dbg.
using OsInitFn = int (*)();
void os_set_init(OsInit stage, OsInitFn fn);
OsInitFn os_get_init(OsInit stage);
const char* os_init_name(OsInit stage);
// Runs the set initialisers of the stages first..last in order; returns the
// first stage that failed, or OsInit::Count when none did.
OsInit os_run_inits(OsInit first, OsInit last);

// The USER look-up: 1 when the login name is in the USER file (the hook
// fills the signed-on user), 0 when the USER file has records but not this
// one, -1 when there is no USER file or it is empty. While no hook is set
// the look-up is skipped.
using OsUserLookup = int (*)(std::string_view login);
void os_set_user_lookup(OsUserLookup fn);
// Runs the look-up: 1 to go on, 0 after writing
// "User System ID (%.*s) not found in USER File" into reason.
int os_check_user(std::string* reason);

// Run-mode entries and the parts of the interactive start that later
// subsystems supply. Entries returning int return the exit status.
struct OsHooks {
  int (*thin_client)(const OsCmd& cmd) = nullptr;
  int (*bootstrap)() = nullptr;          // bs_bootstrap
  int (*file_server)() = nullptr;
  int (*keymap_utility)() = nullptr;
  int (*file_utility)(const OsCmd& cmd) = nullptr;  // native-file utilities
  // Fills the invocation from the signed-on user's USER record; false when
  // it names no start-up process. back_to_menu: rerun the default menu
  // after a start-up run ending with code 4.
  bool (*user_start)(PiInvoc* invoc, bool* back_to_menu) = nullptr;
  // Fills the invocation of a background session being resumed.
  bool (*session_start)(PiInvoc* invoc, std::string_view session) = nullptr;
  void (*pi_exec)(PiInvoc* invoc) = nullptr;  // runs an invocation
  // Why the last start-up invocation never started (its process or
  // application missing, its module not to be had); "" when it started.
  const char* (*start_failure)() = nullptr;
  // Checks the start-up invocation of the command line (-d -a -v -t -p)
  // against the dictionary before anything is shown: false with why when it
  // names what does not exist or options it would not use (the start ends
  // with kExitUsage); a warning about an option it overrides goes to
  // standard error.
  bool (*start_check)(const OsCmd& cmd, std::string* why) = nullptr;
  void (*start_hook)() = nullptr;     // start-up hook process
  void (*exit_hook)() = nullptr;      // exit hook process
  void (*logout)() = nullptr;         // the logout path
  void (*wm_finish)() = nullptr;      // the window manager's end
};
extern OsHooks os_hooks;

// Fills the common block and the Unix services: login name, signal handlers,
// QUVO_FAKE_TIME, then the file manager's initialiser. 1, or 0 with the
// reason in reason.
int os_init(std::string* reason);

// Chooses the start-up invocation: the command-line options, a resumed
// background session, the USER record, else the default menu "QUVO MENU"
// of "0LA". False (with reason) when the choice needs a part not built.
bool os_start_invoc(PiInvoc* invoc, bool* back_to_menu, std::string* reason);

// Reports the last memory fault (completion code 37) as a system error.
void os_report_fault();

// The name of a process type 1-10, whole ("Subroutine"), for messages; the
// number as text for any other.
std::string os_type_name(int type);

// ================================================ operating system ========
// Runs the text through the shell (/bin/sh -c). status := the exit code,
// 128 + the signal for a command killed by a signal, 256 + the stop signal
// for a stopped one (the stopped command is then killed: the engine does not
// keep stopped jobs). False only when no shell could be started (status 127).
bool os_spawn(std::string_view command, int* status);
// Runs the program at path with the argument words args (args[0] is the
// name the program sees as its own), no shell between: each word reaches it
// byte for byte. real_user: when the effective user (group) is not the real
// one, the child takes the real user's (group's) id, all three, before the
// program starts; the engine keeps its own. status as os_spawn gives it; 127 also when the
// program cannot be started.
bool os_spawn_argv(const std::string& path, const std::vector<std::string>& args, bool real_user, int* status);
// One shell word: the text in single quotes, quotes inside escaped.
std::string os_shell_quote(std::string_view text);

// Opens for appending the log file that the setting `variable` names
// (QUVO_DBG_VFY, QUVO_INST_TRACE, QUVO_SAA_LOG, QUVO_WM_LOG, ...): nullptr
// when it is unset or empty. Such a path may come from the data directory's
// quvo.env and reach every user's engine, so no link is followed at its last
// component (O_NOFOLLOW), a missing file is created only as a new one
// (O_EXCL, mode 0600), an existing one is taken only when it is a regular
// file owned by the user, and nothing is ever truncated. A refused file is
// reported on standard error, "quvo: VARIABLE=PATH is not opened: WHY;
// nothing is logged there", and gives nullptr.
FILE* os_open_log(const char* variable);

// The submit script's arguments, taken from the process data fields
// (trailing blanks are dropped).
struct OsSubmit {
  std::string_view image, mode, notify, date, priority, queue, user;
};
// Runs the submit script named by QUVO_BG_SCRIPT in the data directory as
// SCRIPT -image=.. -session=.. -mode=.. -notify=.. -date=.. -priority=..
// -queue=.. -user=.., each argument a separate quoted word; returns its
// status as os_spawn gives it, or -1 (after a system error) when
// QUVO_BG_SCRIPT is not set or the script cannot be started.
int os_submit(const char session[8], const OsSubmit& fields);

// Calls fn with the argument words args[1..args[0]] in order and returns its
// 32-bit result. At most kOsCallMax words: more is a system error and
// nothing is called (result 0).
constexpr int kOsCallMax = 16;
int32_t os_call(const intptr_t* args, void* fn);

// Host time: the 8-byte binary date-time of the engine, two little-endian
// u32: the day number (day 1 is 0001-01-01 of the proleptic Gregorian
// calendar, so 1970-01-01 is day 719163) and the hundredths of a second
// since midnight, local time as the host gives it.
struct HostTime {
  rec::U32 day;
  rec::U32 hundredths;
};
QV_RECORD(HostTime, 8);
QV_AT(HostTime, hundredths, 4);
constexpr uint32_t kDayOf1970 = 719163;

// Day numbers of the proleptic Gregorian calendar (day 1 = 0001-01-01;
// earlier dates give 0 and negative numbers).
int64_t os_days_from_civil(int year, int month, int day);
void os_civil_from_days(int64_t day, int* year, int* month, int* mday);

// The current local date and time, shifted by QUVO_FAKE_TIME:
//   +SECONDS or -SECONDS   the clock runs that many seconds ahead or behind;
//   YYYYMMDDHHMMSS         the clock reads that local time when the engine
//                          first looks at it, and runs on from there.
void os_quvo_time(HostTime* out);
// (Re)reads QUVO_FAKE_TIME; false with the reason for a malformed value
// (the clock is then not shifted).
bool os_fake_time_load(std::string* error);

// Engine facts as text: 10 the engine's path name, 11 the process id,
// 12 the workstation name (the terminal of standard input without "/dev/",
// or the host name when standard input is no terminal); "" for others.
std::string os_info(int item);
// The signed-on user's login name.
std::string_view os_uid();
