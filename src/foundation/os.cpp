#include "foundation/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <utility>

#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/ssunix.h"
#include "foundation/ut.h"

extern char** environ;

uint8_t os_invoc[kInvocSize];

namespace {
bool g_sys_err_cancelled = false;  // a system error was answered CANCEL (and unwound)
SysErrAsk g_screen = nullptr;
SysErrAsk g_responder = nullptr;
TraceHook g_trace = nullptr;
std::vector<SysErrRecord> g_log;

// The console prompt: asks on the terminal while no screen is up.
SysErrAnswer ask_console(const char* module, int line, const char* text) {
  std::fprintf(stderr, "\nQUVO SYSTEM ERROR in %s line %d\n%s\n", module, line, text);
  if (!isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "(no terminal to ask: CANCEL)\n");
    return SysErrAnswer::Cancel;
  }
  for (;;) {
    std::fprintf(stderr, "C to continue, X to CANCEL: ");
    std::fflush(stderr);
    char buf[64];
    if (!std::fgets(buf, sizeof buf, stdin)) return SysErrAnswer::Cancel;
    char c = buf[0];
    if (c == 'c' || c == 'C') return SysErrAnswer::Continue;
    if (c == 'x' || c == 'X') return SysErrAnswer::Cancel;
  }
}
}  // namespace

void os_set_sys_err_screen(SysErrAsk ask) { g_screen = ask; }
void os_set_sys_err_responder(SysErrAsk ask) { g_responder = ask; }
const std::vector<SysErrRecord>& os_sys_err_log() { return g_log; }
void os_sys_err_log_clear() { g_log.clear(); }

void os_sys_err_text(const char* module, int line, const char* text) {
  std::snprintf(ut_dbg, sizeof ut_dbg, "%s", text);
  os_sys_err(module, line);
}

void os_sys_err_note(const char* module, int line, const char* text) {
  if (g_log.size() >= 256) g_log.erase(g_log.begin());
  g_log.push_back({module ? module : "", line, text ? text : ""});
}

void os_sys_err(const char* module, int line) {
  ut_dbg[sizeof ut_dbg - 1] = '\0';
  const char* text = ut_dbg;
  os_sys_err_note(module, line, text);
  SysErrAnswer a;
  if (g_responder) a = g_responder(module, line, text);
  else if (g_screen && com.screen_up) a = g_screen(module, line, text);
  else a = ask_console(module, line, text);
  if (a == SysErrAnswer::Continue) return;
  if (com.depth == 0) {
    std::fprintf(stderr, "quvo: system error outside any scope: ended\n");
    std::exit(3);
  }
  g_sys_err_cancelled = true;
  ut_unwind(3);
}

void checkstat(uint32_t status, const char* text, const char* module, int line) {
  char msg[256];
  LaText d{uint16_t(sizeof msg), msg};
  int n = la_xlate(status, &d, nullptr);
  std::snprintf(ut_dbg, sizeof ut_dbg, "%s - %.*s", text ? text : "", n, msg);
  os_sys_err(module, line);
}

void os_err_set_invoc(const void* invocation) {
  if (invocation) std::memcpy(os_invoc, invocation, kInvocSize);
  else std::memset(os_invoc, 0, kInvocSize);
}

void TRACE(const char* module) {
  if (!com.trace_flag) return;
  ut_dbg[sizeof ut_dbg - 1] = '\0';
  std::fprintf(stderr, "%s - %s\n", module, ut_dbg);
}

namespace {
bool g_trace_sys_apps = false;  // QUVO_TRACE_0APPS, read when the hook is set
}

void os_set_trace_hook(TraceHook hook) {
  g_trace = hook;
  const char* v = std::getenv("QUVO_TRACE_0APPS");
  g_trace_sys_apps = v != nullptr;
}

int TRACE_QUVO(int flags, int level, uint32_t msg, void* pcb, void* data) {
  if (!g_trace) return 0;
  if (pcb && !g_trace_sys_apps && IS_ZUB_AP(rec::view<PcbHead>(pcb).invoc.app.data())) return 0;
  return g_trace(flags, level, msg, pcb, data);
}

// ================================================= invocation template ====
void os_invoc_template(PiInvoc* v) {
  std::memset(v, 0, sizeof *v);
  v->app.clear();
  v->ver.set("00");
  v->type = 1;
  v->name.clear();
  v->kind = 2;
  v->caller_mode = 1;
  v->child_fail_mode = 1;
  v->reserved_text.clear();
  v->reserved2 = 255;
  v->key_path = 255;
  v->query_app.clear();
  v->query_name.clear();
  v->pcf_app.clear();
}

// ======================================================= program entry ====
namespace {
const char* g_stack_base = nullptr;
OsCmd g_cmd;
int g_argc = 0;
char** g_argv = nullptr;
OsInitFn g_inits[int(OsInit::Count)] = {};
OsUserLookup g_user_lookup = nullptr;

const char* const kInitNames[int(OsInit::Count)] = {
    "file manager", "cv_init", "pi_init", "message files", "wm_init", "pc_init", "pl_init",
    "rt_init",      "sc_init", "ii_init", "se_init",       "rm_init", "fp_init", "mp_init",
    "ip_init",      "ap_init", "qp_init", "dd_init",       "installation"};

const char* const kTypeNames[10] = {"menu",       "input",  "output", "action",  "query",
                                    "subroutine", "update", "job",    "inquiry", "status"};

bool valid_name(std::string_view n) {
  if (n.empty() || !(std::isalpha((unsigned char)n[0]) || n[0] == '_')) return false;
  for (char c : n)
    if (!(std::isalnum((unsigned char)c) || c == '_')) return false;
  return true;
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

int parse_type(std::string_view t) {
  if (t.size() <= 2 && !t.empty() && std::isdigit((unsigned char)t[0]) &&
      (t.size() == 1 || std::isdigit((unsigned char)t[1]))) {
    int n = std::atoi(std::string(t).c_str());
    return n >= 1 && n <= 10 ? n : 0;
  }
  std::string low;
  for (char c : t) low += char(std::tolower((unsigned char)c));
  for (int i = 0; i < 10; ++i)
    if (low == kTypeNames[i]) return i + 1;
  return 0;
}
}  // namespace

void os_set_stack_base(const void* base) { g_stack_base = static_cast<const char*>(base); }

size_t os_stack_used() {
  if (!g_stack_base) return 0;
  const char* here = static_cast<const char*>(__builtin_frame_address(0));
  return here < g_stack_base ? size_t(g_stack_base - here) : 0;
}

namespace {
uint32_t g_run_error = 0;
}
void os_note_run_error(uint32_t msg) { g_run_error = msg; }
uint32_t os_run_error() { return g_run_error; }
void os_clear_run_error() { g_run_error = 0; }

int os_startup_fail(int status, const std::string& reason) {
  std::fflush(stdout);
  std::fprintf(stderr, "QUVO startup failed because of the following\n");
  if (!reason.empty()) std::fprintf(stderr, "%s\n", reason.c_str());
  std::fprintf(stderr, "startup error: %d\n\n", status);
  std::fflush(stderr);
  return status > 0 && status <= 255 ? status : 255;
}

// --------------------------------------------------------- command line --
const OsCmd& os_cmd() { return g_cmd; }
int os_argc() { return g_argc; }
char** os_argv() { return g_argv; }

const char* os_prog() {
  return g_argv && g_argv[0] && *g_argv[0] ? g_argv[0] : "quvo";
}

void os_usage(FILE* to) {
  // The first line, wrapped to 80 columns whatever the program's path.
  std::string head = std::string("usage: ") + os_prog(), indent(std::min<size_t>(head.size() + 1, 20), ' ');
  size_t width = head.size();
  for (const char* part : {"[run mode]", "[start-up options]", "[--NAME=VALUE ...]", "[ARGUMENT ...]"}) {
    size_t n = std::strlen(part);
    if (width + 1 + n > 80) {
      head += "\n" + indent + part;
      width = indent.size() + n;
    } else {
      head += std::string(" ") + part;
      width += 1 + n;
    }
  }
  std::fprintf(to, "%s\n", head.c_str());
  std::fputs(
      "\n"
      "Runs the engine on the data directory named by QUVOPATH.\n"
      "\n"
      "Run modes (at most one; none runs the interactive engine):\n"
      "  -b              bootstrap: build the system applications in the data\n"
      "                  directory\n"
      "  -r              remote file server: serve the data directory's files\n",
      to);
  if (!os_hooks.file_server) std::fputs("                  (not available in this build yet)\n", to);
  std::fputs(
      "  -k              keymap utility: record the keys of this terminal as your\n"
      "                  keymap (-k ALL, by the data directory's owner: for every user)\n"
      "  -c HOST[:PORT]  network-terminal client: show the screens of the engine on\n",
      to);
  std::fprintf(to, "                  HOST%s\n", os_hooks.thin_client ? "" : " (not available in this build yet)");
  std::fputs(
      "  -fv FILE...     verify native files (data file paths; a directory: every\n"
      "                  native file below it): exit status 0 only when every file\n"
      "                  is sound, 2 otherwise\n"
      "  -fa FILE...     analyse native files: records, free space, index depth;\n"
      "                  exit status as -fv (its last line says which)\n"
      "  -fr FILE...     rebuild the indexes of native files from their data files:\n"
      "                  exit status 2 when anything was left out\n"
      "  -fo FILE...     reorganise native files: their records written anew in\n"
      "                  key order, free space given back (record ids change)\n"
      "  -h, --help      show this text\n"
      "\n"
      "Start-up invocation (interactive engine):\n"
      "  -d DB       database id (up to 3 characters)\n"
      "  -a APP      application id (up to 3 characters)\n"
      "  -v VER      application version (up to 2 characters)\n"
      "  -t TYPE     process type: 1-10 or Menu, Input, Output, Action, Query,\n"
      "              Subroutine, Update, Job, Inquiry, Status\n"
      "  -p NAME     process name (up to 30 characters)\n"
      "  -s SESSION  resume the background session SESSION (up to 8 characters; the\n"
      "              submit script passes it; not available in this build yet)\n"
      "  Without these, the start-up process of the user's USER record runs, else the\n"
      "  menu \"QUVO MENU\" of application 0LA.\n"
      "\n"
      "Keys on the screens (xterm and its relatives; -k records your terminal's):\n"
      "  F1 HELP on the field, F2 the options of a menu, F3 END (leaves the screen),\n"
      "  F10 or ESC CANCEL; F5 to F8 the Add, Delete, Inquire and Change modes,\n"
      "  Shift-F4 or Alt-D DELETE CONFIRM, Shift-F5 or Alt-N NEXT RECORD (Alt-D and\n"
      "  Alt-N on every terminal, also where Shift does not reach the function keys,\n"
      "  as under screen and tmux); TAB and Shift-TAB move between the fields,\n"
      "  ENTER takes the whole screen (an Input process writes its record).\n"
      "\n"
      "Environment:\n"
      "  --NAME=VALUE  set the environment variable NAME for this run\n"
      "  ARGUMENT      any other argument (for example MODE=3) is handed to the\n"
      "                application, which reads it with RT_GETPARAM\n"
      "  Settings are taken in this order, later ones overriding earlier ones and the\n"
      "  inherited environment: $QUVOPATH/quvo.env, quvo.env in the home directory of\n"
      "  your password entry, the --NAME=VALUE arguments. A quvo.env file holds lines\n"
      "  NAME=VALUE (quotes around VALUE are removed, nothing is expanded); blank lines\n"
      "  and lines starting with # are ignored; any other line is an error.\n"
      "  $QUVOPATH/quvo.env counts only when it is owned by root or the data\n"
      "  directory's owner and no one else may change it (see README.md).\n"
      "\n"
      "Environment variables the engine reads:\n"
      "  QUVOPATH        the data directory (required; there is no default)\n"
      "  TERM            the terminal type: its terminfo entry and its keymap\n"
      "  QUVO_BG_SCRIPT  the submit script for background runs, in the data directory\n"
      "  QUVO_FAKE_TIME  shift the engine's clock: +SECONDS or -SECONDS runs it ahead\n"
      "                  or behind; YYYYMMDDHHMMSS starts it at that local time\n"
      "  QUVO_DB_TRAPS   when set, TRAP statements start the debugger\n"
      "  QUVO_DBG_VFY    a file that gets a line each time a compiled process (a saved\n"
      "                  or cached module) is found out of date against the\n"
      "                  dictionary, and is compiled again\n"
      "  QUVO_INST_TRACE a file that gets a line for each instruction the interpreter\n"
      "                  runs (with the event points it enters and leaves)\n"
      "  QUVO_PRT_FI_DIR the directory of print files (default /tmp/)\n"
      "  QUVO_STD_PGH_MASK  the date mask of the standard page heading of reports\n"
      "                  (default: the application's, else 06/05/77 04:03 02.01)\n"
      "  QUVO_PRT_SCRIPT the print script, run with -config=FILE.cfg FILE for each\n"
      "                  report; in the data directory unless absolute (quvo_print)\n"
      "  QUVO_OLD_PD_MUL when set, CALC multiplies with the older scaling: both\n"
      "                  operands lose low decimals before a long product\n"
      "  QUVO_NO_NEG_INT when set, a negative value stored into a signed 1- or 2-byte\n"
      "                  binary field is an overflow (300540)\n"
      "  QUVO_TRACE_0APPS  when set, the event trace also records the processes of\n"
      "                  the system applications\n"
      "  QUVO_FILE_SYNC  1: native files are flushed to disk at each step of a change,\n"
      "                  so that a power loss loses no acknowledged change (slower)\n"
      "  QUVO_CENTURY_PIVOT  two digits PP: a two-digit year below PP is in the\n"
      "                  2000s, one at or above PP in the 1900s; unset, they are 19YY\n"
      "  QUVO_MSG        a text shown centred on the status line of menus and input\n"
      "                  screens (cut to the screen width)\n"
      "  QUVO_MSG_SRC    the directory of the message sources (<LANGUAGE>.txt) that\n"
      "                  -b loads and that are read while the data directory has none\n"
      "  QUVO_KEYMAP_SRC the directory of the keymap sources (*.km) that -b installs\n"
      "  QUVO_BOOT_SRC   the directory of the inputs of -b (SUMMARY texts and raw\n"
      "                  record files); unset: the build tree's boot directory\n"
      "  QUVO_BOOT_AP    -b adds this application (its dictionary and registration,\n"
      "                  version QUVO_BOOT_VER, default 00) to a bootstrapped data\n"
      "                  directory; added again, its dictionary is replaced\n"
      "  NO_0AD, NO_0LA, NO_0DB, NO_0SA  when set, -b leaves out that application's\n"
      "                  copy of the design dictionary\n"
      "  DD_SUMMARY_FILE when set, the dictionary compiler appends the summary of\n"
      "                  each file it compiles to the application's SUMMARY file\n"
      "  QUVO_ALLOW_MISALIGNS  when set, the dictionary compiler's messages of a\n"
      "                  binary field or record length that needs filler bytes are\n"
      "                  warnings (100040-100060) instead of 100045-100065\n"
      "  QUVO_PATH_<TYPE>  the path template of the files of a path type (DATA, ...):\n"
      "                  {QUVOPATH} {dir} {name} {app} {ver} {db} {src_app} {src_ver};\n"
      "                  unset: {QUVOPATH}/<type>/{dir}/{name}\n"
      "  QUVO_LIB_DIRS   directories (separated by ':') that libraries named by a\n"
      "                  path may be loaded from; only $QUVOPATH/quvo.env sets it\n"
      "  QUVO_WM_LOG     a file that gets one line each time the engine waits for a\n"
      "                  key (for scripts that drive the engine)\n"
      "  QUVO_184_IPC    when set, a RELATED process runs in its caller's scope as a\n"
      "                  SUBPROCESS does\n"
      "  QUVO_ACCESS_ALL_FILES  when set, processes open their files with every\n"
      "                  access right\n"
      "  QUVO_SAA_LOG    a file that gets one line each time a record of the shared\n"
      "                  data areas of a process is created or grown\n"
      "  QUVO_DYNA_LOG   a file that gets the entries of the dynamic keys of Input\n"
      "                  processes as they are written, changed and deleted\n"
      "  QUVO_DYNAKEY_PROMPT  records read into a dynamic key before the user is\n"
      "                  asked whether to go on (default 1000)\n"
      "  QUVO_SCAN_PROC  the Subroutine of application 0LA that the SCAN key runs\n"
      "                  (default SCAN)\n"
      "  QUVO_DISABLE_DYNAKEYS  when set, the SELECT KEY key outside key entry adds\n"
      "                  no dynamic key\n"
      "  QUVO_TOKEN_ITEM_LOG  a file that gets one line (application and field) for\n"
      "                  each screen item of a token field that a compile makes\n"
      "                  scannable\n"
      "  QUVO_RUN_MEM    bytes of memory a query's sort holds in one run (its\n"
      "                  elements and their index), at least one element; unset:\n"
      "                  262143\n"
      "  QUVO_SHOW_PROGRESS  set (to anything): a line shows how far a query's\n"
      "                  selection and its reading have come\n"
      "  The files these settings name (QUVO_DBG_VFY, QUVO_INST_TRACE, QUVO_SAA_LOG,\n"
      "  QUVO_TOKEN_ITEM_LOG, QUVO_WM_LOG, QUVO_DYNA_LOG) are appended to, never\n"
      "  truncated; a new one is made with mode 0600; a symbolic link, or anything\n"
      "  but a regular file of your own, is refused with a warning and nothing is\n"
      "  written.\n",
      to);
  // The test hooks work only in the suite's engine: listed there alone.
  if (os_test_hooks_honoured())
    std::fputs(
      "Test hooks (the suite's engine only; the engine users run ignores them):\n"
      "  QUVO_TEST_HOME  read quvo.env from this directory instead of the home\n"
      "                  directory of the password entry\n"
      "  QUVO_TEST_PRINTENV  A,B,...: print these variables once the settings are\n"
      "                  loaded\n"
      "  QUVO_TEST_FAULT segv, bus, copy, dtor or noexcept: the start-up process faults\n"
      "                  in its scope (copy: inside a library copy; dtor: a destructor\n"
      "                  throws as the fault's unwind passes it; noexcept: no fault, an\n"
      "                  exception escapes a function declared not to throw)\n"
      "  QUVO_TEST_BOOT_KILL  build, move or moved: -b kills itself at that step\n"
      "  QUVO_TEST_BOOT_FAIL  move: -b fails to move its second entry in\n"
      "  QUVO_TEST_EXEC  TYPE:CODE,...: until the executors are built, the stand-in\n"
      "                  executor of process type TYPE ends with CODE (default 2)\n"
      "  QUVO_TEST_USER  sign on as this login name instead of the real one\n"
      "  QUVO_TEST_NO_PI run without the process manager: the start-up process is\n"
      "                  named, not run\n",
      to);
  std::fputs(
      "\n"
      "Exit status:\n"
      "  0 normal end; 1 refused command line (or a start-up process, database or\n"
      "  application that does not exist) or failed conversion; 2 a file utility found\n"
      "  a file not sound (or could not rebuild it); 3 no keymap for the terminal, or\n"
      "  a system error answered CANCEL; 9 network-terminal client gone; 10 QUVOPATH\n"
      "  unset or no data directory; 11 data directory without the system\n"
      "  applications; 12 bad or unsafe environment file; 13 user not in the USER\n"
      "  file; 14 run mode not available in this build; 15 a subsystem failed to\n"
      "  start; 16 the bootstrap failed or was refused (the data directory is as it\n"
      "  was); 20 ended by SIGTERM or SIGHUP (every running process ended as CANCEL\n"
      "  ends it), or the start-up process ended by an interrupt (^C); 21 a process\n"
      "  waited for input with no terminal to read it from; 127 logout; otherwise the\n"
      "  completion code of a start-up process that failed (255 when it is larger).\n",
      to);
}

RunMode os_parse_cmd(int argc, char** argv, OsCmd* out) {
  *out = OsCmd{};
  int modes = 0;
  bool invocation_opt = false;
  auto refuse = [&](std::string why) {
    out->mode = RunMode::Usage;
    out->error = std::move(why);
    return RunMode::Usage;
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i] ? argv[i] : "";
    if (a == "--help") {
      out->help = true;
      continue;
    }
    if (a.substr(0, 2) == "--") {
      std::string_view rest = a.substr(2);
      size_t eq = rest.find('=');
      if (eq == std::string_view::npos || !valid_name(rest.substr(0, eq)))
        return refuse("bad argument " + std::string(a) + ": environment settings are --NAME=VALUE");
      out->env.emplace_back(std::string(rest.substr(0, eq)), std::string(rest.substr(eq + 1)));
      continue;
    }
    if (a.size() < 2 || a[0] != '-') {
      if (a == "-") return refuse("unknown option -");
      out->params.emplace_back(a);
      continue;
    }
    char c = a[1];
    switch (c) {
      case 'h': case '?': case 'b': case 'r': case 'k':
        if (a.size() != 2) return refuse("unknown option " + std::string(a));
        if (c == 'h' || c == '?') out->help = true;
        else {
          ++modes;
          out->mode = c == 'b' ? RunMode::Bootstrap : c == 'r' ? RunMode::FileServer : RunMode::KeymapUtility;
        }
        continue;
      case 'f':
        if (a.size() != 3 || (a[2] != 'v' && a[2] != 'a' && a[2] != 'r' && a[2] != 'o'))
          return refuse("unknown option " + std::string(a) + ": the file utilities are -fv, -fa, -fr and -fo");
        ++modes;
        out->mode = RunMode::FileUtility;
        out->file_util = a[2];
        continue;
      case 'c': case 'd': case 'a': case 'v': case 't': case 'p': case 's': break;
      default: return refuse("unknown option " + std::string(a));
    }
    std::string_view val;
    if (a.size() > 2) val = a.substr(2);
    else if (i + 1 < argc) val = argv[++i];
    else return refuse(std::string("option -") + c + " needs a value");
    auto length = [&](size_t max, const char* what) -> bool {
      if (!val.empty() && val.size() <= max) return true;
      out->error = std::string("option -") + c + ": " + what + " of 1 to " + std::to_string(max) +
                   " characters, not \"" + std::string(val) + "\"";
      return false;
    };
    switch (c) {
      case 'c':
        if (val.empty()) return refuse("option -c needs a host");
        ++modes;
        out->mode = RunMode::ThinClient;
        out->client = std::string(val);
        break;
      case 'd':
        if (!length(3, "a database id")) return refuse(out->error);
        out->db = std::string(val);
        invocation_opt = true;
        break;
      case 'a':
        if (!length(3, "an application id")) return refuse(out->error);
        out->app = std::string(val);
        invocation_opt = true;
        break;
      case 'v':
        if (!length(2, "a version")) return refuse(out->error);
        out->ver = std::string(val);
        invocation_opt = true;
        break;
      case 'p':
        if (!length(30, "a process name")) return refuse(out->error);
        out->name = std::string(val);
        invocation_opt = true;
        break;
      case 's':
        if (!length(8, "a session id")) return refuse(out->error);
        out->session = std::string(val);
        invocation_opt = true;
        break;
      case 't':
        out->type = parse_type(val);
        if (!out->type) return refuse("option -t: unknown process type \"" + std::string(val) + "\"");
        invocation_opt = true;
        break;
    }
  }
  if (out->help) {
    out->mode = RunMode::Usage;
    return RunMode::Usage;
  }
  if (modes > 1) return refuse("choose one run mode: -b, -r, -k, -c or a file utility");
  if (out->mode == RunMode::FileUtility && out->params.empty())
    return refuse("name the files for the file utility -f" + std::string(1, out->file_util));
  if (invocation_opt && out->mode != RunMode::Interactive)
    return refuse("the options -d -a -v -t -p -s belong to the interactive engine");
  return out->mode;
}

// ---------------------------------------------------------- environment --
std::string os_home_dir() {
  if (const char* t = os_test_hook("QUVO_TEST_HOME")) return t;
  passwd* pw = getpwuid(getuid());
  return pw && pw->pw_dir ? std::string(pw->pw_dir) : std::string();
}

namespace {
std::string g_lib_dirs;  // QUVO_LIB_DIRS as the data directory's quvo.env sets it

std::string user_name(uid_t uid) {
  if (passwd* pw = getpwuid(uid); pw && pw->pw_name) return pw->pw_name;
  return std::to_string(uid);
}

std::string group_name(gid_t gid) {
  if (group* gr = getgrgid(gid); gr && gr->gr_name) return gr->gr_name;
  return std::to_string(gid);
}

// Reads the settings of an open environment file (f is closed). vars gets
// them in order.
bool read_env_file(FILE* f, const std::string& path, std::vector<std::pair<std::string, std::string>>* out,
                   std::string* error);
}  // namespace

bool os_load_env_file(const std::string& path, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) {
    if (errno == ENOENT || errno == ENOTDIR) return true;
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::pair<std::string, std::string>> vars;
  if (!read_env_file(f, path, &vars, error)) return false;
  for (auto& [n, v] : vars) setenv(n.c_str(), v.c_str(), 1);
  return true;
}

int os_load_data_env(const std::string& dir, std::string* error) {
  std::string path = dir + "/quvo.env";
  struct stat ds;
  if (stat(dir.c_str(), &ds) != 0 || !S_ISDIR(ds.st_mode)) return 1;  // the data directory check says why
  if (access(dir.c_str(), X_OK) != 0) return 1;                         // likewise
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 1;
    if (errno == ELOOP) {
      *error = path + " is a symbolic link: the data directory's settings must be a regular file\n"
                      "owned by the data directory's owner; replace the link by such a file";
      return 0;
    }
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return 0;
  }
  struct stat fs;
  std::string why, fix;
  std::string owner = user_name(ds.st_uid);
  OsTrust trust = fstat(fd, &fs) != 0 ? OsTrust::NotRegular : os_trust(fs, ds, ds.st_uid, ds.st_uid);
  if (trust == OsTrust::NotRegular) {
    why = "is not a regular file";
    fix = "  replace it by a regular file owned by " + owner;
  } else if (trust == OsTrust::Owner) {
    // Someone else put it there: its settings are theirs, never to be adopted.
    why = "is owned by " + user_name(fs.st_uid) + ", not by root or the data directory's owner " + owner;
    // Removed alone, the name is free for anyone to plant again: the owner
    // takes it back with an empty file, as the bootstrap does.
    fix = "  " + owner + " should review what " + user_name(fs.st_uid) +
          " put in it, then replace it by an empty file of their own:\n    rm " + path +
          " && install -m 644 /dev/null " + path +
          "\n  (settings of your own belong in ~/quvo.env or on the command line)";
  } else if (trust == OsTrust::Writable) {
    why = "may be changed by users other than its owner";
    fix = "  chmod go-w " + path;
  } else if (trust == OsTrust::Directory) {
    why = "lies in a directory where other users may replace it";
    fix = "  chmod +t " + dir + "    (or chmod go-w " + dir + ")";
  }
  if (!why.empty()) {
    close(fd);
    *error = path + " " + why + ":\nits settings reach every user's engine, so it is refused. Fix it with\n" + fix;
    return 0;
  }
  FILE* f = fdopen(fd, "r");
  if (!f) {
    close(fd);
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return 0;
  }
  std::vector<std::pair<std::string, std::string>> vars;
  if (!read_env_file(f, path, &vars, error)) return 0;
  for (auto& [n, v] : vars) {
    setenv(n.c_str(), v.c_str(), 1);
    if (n == "QUVO_LIB_DIRS") g_lib_dirs = v;
  }
  return 1;
}

const std::string& os_lib_dirs() { return g_lib_dirs; }

namespace {
bool trusted_uid(uid_t uid, unsigned t1, unsigned t2) { return uid == 0 || uid == t1 || uid == t2; }
// Rule (4) for a directory.
bool trusted_dir(const struct stat& d, unsigned t1, unsigned t2) {
  return S_ISDIR(d.st_mode) && trusted_uid(d.st_uid, t1, t2) &&
         (!(d.st_mode & (S_IWGRP | S_IWOTH)) || (d.st_mode & S_ISVTX));
}
}  // namespace

OsTrust os_trust(const struct stat& fs, const struct stat& ds, unsigned t1, unsigned t2) {
  if (!S_ISREG(fs.st_mode)) return OsTrust::NotRegular;
  if (!trusted_uid(fs.st_uid, t1, t2)) return OsTrust::Owner;
  if (fs.st_mode & (S_IWGRP | S_IWOTH)) return OsTrust::Writable;
  if (!trusted_dir(ds, t1, t2)) return OsTrust::Directory;
  return OsTrust::Ok;
}

OsTrust os_trust_path(const std::string& top, const std::string& path, unsigned t1, unsigned t2,
                      std::string* where) {
  std::string base = top;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  size_t from;
  if (!base.empty() && path.size() > base.size() + 1 && path.compare(0, base.size(), base) == 0 &&
      path[base.size()] == '/')
    from = base.size();
  else {
    base = "/";
    from = 0;
  }
  if (where) *where = base;
  // Every directory from the top down to the file's own: a link, or one
  // where someone else may rename, and the path below it means nothing.
  struct stat st;
  if (lstat(base.c_str(), &st) != 0) return OsTrust::Missing;
  if (!trusted_dir(st, t1, t2)) return OsTrust::Directory;
  struct stat dir = st;
  size_t at = from;
  for (;;) {
    while (at < path.size() && path[at] == '/') ++at;
    size_t end = path.find('/', at);
    std::string part = path.substr(0, end);
    if (where) *where = part;
    if (lstat(part.c_str(), &st) != 0) return OsTrust::Missing;
    if (end == std::string::npos) return os_trust(st, dir, t1, t2);
    if (!trusted_dir(st, t1, t2)) return OsTrust::Directory;
    dir = st;
    at = end + 1;
  }
}

OsTrust os_trust_data(const std::string& path, std::string* where) {
  const char* top = os_data_dir();
  const unsigned me = unsigned(geteuid());
  struct stat ds;
  unsigned owner = top && *top && stat(top, &ds) == 0 ? unsigned(ds.st_uid) : me;
  return os_trust_path(top ? top : "", path, me, owner, where);
}

namespace {
bool read_env_file(FILE* f, const std::string& path, std::vector<std::pair<std::string, std::string>>* out,
                   std::string* error) {
  std::vector<std::pair<std::string, std::string>> vars;
  std::string line;
  int lineno = 0;
  bool ok = true;
  auto fail = [&](const std::string& why) {
    *error = path + " line " + std::to_string(lineno) + ": " + why;
    ok = false;
  };
  int ch;
  bool more = true;
  while (ok && more) {
    line.clear();
    while ((ch = std::fgetc(f)) != EOF && ch != '\n') line += char(ch);
    if (ch == EOF) {
      more = false;
      if (std::ferror(f)) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        ok = false;
        break;
      }
      if (line.empty()) break;
    }
    ++lineno;
    std::string_view l = trim_blanks(line);
    if (l.empty() || l[0] == '#') continue;
    if (l.find('\0') != std::string_view::npos) {
      fail("a NUL byte in the line");
      break;
    }
    size_t eq = l.find('=');
    if (eq == std::string_view::npos) {
      fail("expected NAME=VALUE, found \"" + std::string(l) + "\"");
      break;
    }
    std::string_view name = trim_blanks(l.substr(0, eq));
    std::string_view value = trim_blanks(l.substr(eq + 1));
    if (!valid_name(name)) {
      fail("bad variable name \"" + std::string(name) + "\"");
      break;
    }
    if (!value.empty() && (value[0] == '"' || value[0] == '\'')) {
      if (value.size() < 2 || value.back() != value[0]) {
        fail("unterminated quoted value for " + std::string(name));
        break;
      }
      value = value.substr(1, value.size() - 2);
    }
    vars.emplace_back(std::string(name), std::string(value));
  }
  std::fclose(f);
  if (!ok) return false;
  *out = std::move(vars);
  return true;
}
}  // namespace

bool os_load_env(const OsCmd& cmd, std::string* error) {
  std::string dir;
  if (const char* p = std::getenv("QUVOPATH")) dir = p;
  for (auto& [n, v] : cmd.env)
    if (n == "QUVOPATH") dir = v;
  g_lib_dirs.clear();
  if (!dir.empty() && !os_load_data_env(dir, error)) return false;
  std::string home = os_home_dir();
  if (!home.empty() && !os_load_env_file(home + "/quvo.env", error)) return false;
  for (auto& [n, v] : cmd.env) setenv(n.c_str(), v.c_str(), 1);
  return true;
}

// ------------------------------------------------------- data directory --
const char* os_data_dir() {
  const char* p = std::getenv("QUVOPATH");
  return p ? p : "";
}

DataDir os_check_data_dir(bool need_installed, std::string* message) {
  std::string dir = os_data_dir();
  std::string prog = os_prog();
  if (dir.empty()) {
    *message =
        "QUVOPATH is not set: it must name the engine's data directory, for example\n"
        "  export QUVOPATH=$HOME/quvo-data; mkdir -p $QUVOPATH\n"
        "and then build the system applications there with: " + prog + " -b";
    return DataDir::Unset;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      *message = "the data directory " + dir + " (QUVOPATH) does not exist: create it with\n  mkdir -p " +
                 dir + "\nand then build the system applications in it with: " + prog + " -b";
      return DataDir::Missing;
    }
    *message = "the data directory " + dir + " (QUVOPATH) cannot be reached: " + std::strerror(errno);
    return DataDir::Unreadable;
  }
  if (!S_ISDIR(st.st_mode)) {
    *message = "QUVOPATH names " + dir + ", which is not a directory";
    return DataDir::NotDir;
  }
  if (access(dir.c_str(), R_OK | X_OK) != 0) {
    int e = errno;
    bool search = access(dir.c_str(), X_OK) != 0;
    *message = "the data directory " + dir + " (QUVOPATH) cannot be " + (search ? "searched" : "read") + ": " +
               std::strerror(e) + "\n(you need read and search permission on it: its owner, " +
               user_name(st.st_uid) + ", can add you to its group " + group_name(st.st_gid) +
               " and run chmod g+rx " + dir + ")";
    return DataDir::Unreadable;
  }
  DIR* d = opendir(dir.c_str());
  if (!d) {
    *message = "the data directory " + dir + " (QUVOPATH) cannot be read: " + std::strerror(errno);
    return DataDir::Unreadable;
  }
  bool empty = true;
  while (dirent* e = readdir(d)) {
    std::string_view n = e->d_name;
    if (n == "." || n == ".." || n == "quvo.env") continue;
    empty = false;
    break;
  }
  closedir(d);
  // The bootstrap leaves its mark, the keymap store, last of its steps.
  bool installed = !empty && stat((dir + "/keymaps").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (need_installed && !installed) {
    *message = "the data directory " + dir + " (QUVOPATH) " +
               (empty ? "is empty" : "was never bootstrapped") +
               ": the system applications are not installed there;\n"
               "build them with: " + prog + " -b";
    return DataDir::Empty;
  }
  return DataDir::Ready;
}

// ---------------------------------------------------- initialiser hooks --
OsHooks os_hooks;

void os_set_init(OsInit stage, OsInitFn fn) {
  if (stage < OsInit::Count) g_inits[int(stage)] = fn;
}
OsInitFn os_get_init(OsInit stage) { return stage < OsInit::Count ? g_inits[int(stage)] : nullptr; }
const char* os_init_name(OsInit stage) { return stage < OsInit::Count ? kInitNames[int(stage)] : "?"; }

OsInit os_run_inits(OsInit first, OsInit last) {
  for (int s = int(first); s <= int(last) && s < int(OsInit::Count); ++s) {
    OsInitFn fn = g_inits[s];
    if (!fn) continue;
    ut_dbg[0] = '\0';
    if (fn() != 1) return OsInit(s);
  }
  return OsInit::Count;
}

void os_set_user_lookup(OsUserLookup fn) { g_user_lookup = fn; }

int os_check_user(std::string* reason) {
  if (!g_user_lookup) return 1;
  std::string_view login = os_uid();
  if (g_user_lookup(login) != 0) return 1;
  char b[128];
  std::snprintf(b, sizeof b, "User System ID (%.*s) not found in USER File", int(login.size()), login.data());
  *reason = b;
  return 0;
}

// ---------------------------------------------------------------- init --
namespace {
void set_login() {
  std::string name;
  if (const char* t = os_test_hook("QUVO_TEST_USER"); t && *t) name = t;
  else if (passwd* pw = getpwuid(getuid()); pw && pw->pw_name) name = pw->pw_name;
  else name = "uid" + std::to_string(getuid());  // never LOGNAME: a setting names no one
  com.login.set(name);
}
}  // namespace

int os_init(std::string* reason) {
  bi_init_com();
  set_login();
  ss_set_session(g_cmd.session);
  ss_reset_sig_handler();
  std::string err;
  if (!os_fake_time_load(&err)) {
    *reason = err;
    return 0;
  }
  if (os_run_inits(OsInit::FileManager, OsInit::FileManager) != OsInit::Count) {
    *reason = std::string("the file manager failed to start: ") + ut_dbg;
    return 0;
  }
  return 1;
}

std::string_view os_uid() {
  if (com.login.blank()) set_login();
  return com.login.trimmed();
}

bool os_start_invoc(PiInvoc* inv, bool* back_to_menu, std::string* reason) {
  os_invoc_template(inv);
  *back_to_menu = false;
  const OsCmd& c = g_cmd;
  if (!c.session.empty()) {
    if (!os_hooks.session_start) {
      *reason = "resuming a background session (-s) is not available in this build yet";
      return false;
    }
    if (!os_hooks.session_start(inv, c.session)) {
      *reason = "the background session " + c.session + " cannot be resumed";
      return false;
    }
    return true;
  }
  if (!c.db.empty()) {
    com.startup_db.set(c.db);
    com.cur_db.set(c.db);
  }
  if (!c.app.empty() || !c.ver.empty() || c.type != 0 || !c.name.empty()) {
    if (!c.app.empty()) inv->app.set(c.app);
    if (!c.ver.empty()) inv->ver.set(c.ver);
    if (c.type) inv->type = uint8_t(c.type);
    if (!c.name.empty()) inv->name.set(c.name);
    return true;
  }
  if (os_hooks.user_start && os_hooks.user_start(inv, back_to_menu)) return true;
  inv->app.set("0LA");
  inv->ver.set("00");
  inv->type = 1;
  inv->name.set("QUVO MENU");
  return true;
}

std::string os_type_name(int type) {
  if (type < 1 || type > 10) return std::to_string(type);
  std::string n = kTypeNames[type - 1];
  n[0] = char(std::toupper((unsigned char)n[0]));
  return n;
}

void os_report_fault() {
  int sig = ss_fault_signal();
  std::snprintf(ut_dbg, sizeof ut_dbg,
                "memory fault: %s (signal %d) at address %p; the running process ended with "
                "completion code 37",
                sig == SIGBUS ? "SIGBUS" : "SIGSEGV", sig, ss_fault_addr());
  // Inside a scope of its own, so that CANCEL ends only the report.
  mark(0, [] { os_sys_err("OS", __LINE__); });
}

// ------------------------------------------------------- the start-up --
namespace {
int not_built(const char* what) {
  std::fprintf(stderr, "quvo: %s is not available in this build yet\n", what);
  return kExitNotBuilt;
}

std::string invoc_text(const PiInvoc& v) {
  return v.app.str() + " " + v.ver.str() + " " + os_type_name(v.type) + " \"" + v.name.str() + "\"";
}

// An exception thrown where the unwinding cannot pass (through a pointer:
// the compiler sees no throw to warn of).
[[noreturn]] void throw_logic() { throw std::logic_error("QUVO_TEST_FAULT"); }
void (*volatile g_throw_logic)() = throw_logic;
void escape_noexcept() noexcept { g_throw_logic(); }
// Armed, throws from its destructor while an unwind passes it.
struct ThrowsWhenUnwound {
  bool armed;
  ~ThrowsWhenUnwound() noexcept(false) {
    if (armed && std::uncaught_exceptions() > 0) g_throw_logic();
  }
};

// The test-only start-up process of QUVO_TEST_FAULT: takes a pool in its
// scope, then faults (segv: a write to a page without access; bus: a read
// past the end of a mapped empty file; copy: the same read by the C
// library's copy; dtor: segv, a destructor throwing as its unwind passes;
// noexcept: no fault, an exception escaping a function declared not to
// throw).
void test_fault(PiInvoc*) {
  mm_create_pool(" TESTFAULT", com.depth, 0);
  std::string kind = os_test_hook("QUVO_TEST_FAULT");
  long page = sysconf(_SC_PAGESIZE);
  ThrowsWhenUnwound dtor_throws{kind == "dtor"};
  if (kind == "noexcept") {
    escape_noexcept();
  } else if (kind == "bus" || kind == "copy") {
    char tmpl[] = "/tmp/quvo-faultXXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) {
      unlink(tmpl);
      void* p = mmap(nullptr, size_t(page), PROT_READ, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED && kind == "copy") {
        // Inside a library routine, which the unwinding may not pass.
        std::string into(size_t(page), ' ');
        volatile size_t n = size_t(page);
        std::memcpy(into.data(), p, n);
      } else if (p != MAP_FAILED) {
        volatile char c = *static_cast<volatile char*>(p);
        (void)c;
      }
    }
  } else {
    void* p = mmap(nullptr, size_t(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) *static_cast<volatile int*>(p) = 1;
  }
  std::fprintf(stderr, "quvo: QUVO_TEST_FAULT=%s did not fault\n", kind.c_str());
}

struct StartRun {
  PiInvoc* invoc;
  void (*exec)(PiInvoc*);
};

int run_start(PiInvoc* inv, void (*exec)(PiInvoc*)) {
  inv->completion = 0;
  g_sys_err_cancelled = false;
  os_err_set_invoc(inv);
  StartRun r{inv, exec};
  int m = MARK(1, [](void* p) { auto* s = static_cast<StartRun*>(p); s->exec(s->invoc); }, &r, ut_cleanup);
  if (m != 1) return m;
  return inv->completion != 0 ? int(inv->completion) : 1;
}

int run_interactive() {
  // From here on ^C interrupts the running process, and SIGTERM and SIGHUP
  // end every process before the engine exits (ssunix.h).
  ss_catch_stop_signals();
  OsInit f = os_run_inits(OsInit::SaMessages, OsInit::Install);
  if (f != OsInit::Count)
    return os_startup_fail(kExitInitFailed, std::string(os_init_name(f)) + " failed: " + ut_dbg);
  PiInvoc inv;
  bool back_to_menu = false;
  std::string why;
  if (!os_start_invoc(&inv, &back_to_menu, &why)) {
    std::fprintf(stderr, "quvo: %s\n", why.c_str());
    return kExitNotBuilt;
  }
  void (*exec)(PiInvoc*) = os_hooks.pi_exec;
  if (!exec && os_test_hook("QUVO_TEST_FAULT")) exec = test_fault;
  if (!exec) {
    std::fprintf(stderr,
                 "quvo: started on the data directory %s; the process manager is not available in "
                 "this build yet, so the start-up process (%s) was not run\n",
                 os_data_dir(), invoc_text(inv).c_str());
    if (os_hooks.wm_finish) os_hooks.wm_finish();
    return kExitNormal;
  }
  if (os_hooks.start_hook) os_hooks.start_hook();
  int interrupts = ss_interrupts_taken();
  os_clear_run_error();
  int code = run_start(&inv, exec);
  // ^C that ended the start-up process itself (not a process below it that
  // gave control back) ends the engine as an end signal does: the caller of
  // an interrupted command must not take it for a normal end.
  bool interrupted = code == int(CompletionCode::CancelError) && ss_interrupts_taken() != interrupts;
  if (code == int(CompletionCode::CancelError) && back_to_menu && !ss_end_status()) {
    os_invoc_template(&inv);
    inv.app.set("0LA");
    inv.type = 1;
    inv.name.set("QUVO MENU");
    code = run_start(&inv, exec);
  }
  if (interrupted && !ss_end_status()) {
    if (os_hooks.wm_finish) os_hooks.wm_finish();
    std::fprintf(stderr, "quvo: interrupted: the start-up process %s ended with completion code 4\n",
                 invoc_text(inv).c_str());
    return kExitStopSignal;
  }
  if (int end = ss_end_status()) {
    // A signal or a process that needed a terminal ended every process:
    // the engine ends, saying why, without the exit hook.
    if (os_hooks.wm_finish) os_hooks.wm_finish();
    if (end == kExitStopSignal)
      std::fprintf(stderr, "quvo: ended by %s: every running process ended with completion code 4\n",
                   ss_stop_signal() == SIGHUP ? "SIGHUP" : "SIGTERM");
    return end;
  }
  int status = kExitNormal;
  bool failed = false;
  const char* never = os_hooks.start_failure ? os_hooks.start_failure() : "";
  switch (code) {
    case 4:
      // A process that never started is a failed start, not an end.
      if (never && *never) failed = true;
      break;
    // CANCEL ends a run normally, unless it answered a system error: the
    // start-up then failed.
    case 3: failed = g_sys_err_cancelled; break;
    case 1: case 2: case 5: case 19: break;
    case 24: case 25:
      if (os_hooks.logout) os_hooks.logout();
      status = kExitLogout;
      break;
    case 37:
      os_report_fault();
      failed = true;
      break;
    default: failed = true; break;
  }
  if (os_hooks.exit_hook) os_hooks.exit_hook();
  if (os_hooks.wm_finish) os_hooks.wm_finish();
  if (failed) {
    std::string reason = "the start-up process " + invoc_text(inv) + " ended with completion code " +
                         std::to_string(code);
    // The reason names the process as its defaults made it (the start-up
    // invocation itself may leave application and name blank).
    if (never && *never) reason = std::string("the start-up process did not start: ") + never;
    if (code == 37) reason += " (memory fault)";
    if (uint32_t n = os_run_error(); n && !(never && *never))
      reason += " (run-time error " + std::to_string(n) + ": " + la_text(n) + ")";
    if (code == 3) reason += " (a system error was answered CANCEL)";
    return os_startup_fail(code, reason);
  }
  return status;
}

// Test hook: QUVO_TEST_PRINTENV=A,B prints each variable after the
// environment files and arguments are applied.
void test_print_env() {
  const char* names = os_test_hook("QUVO_TEST_PRINTENV");
  if (!names) return;
  std::string_view all = names;
  while (!all.empty()) {
    size_t comma = all.find(',');
    std::string n(all.substr(0, comma));
    all = comma == std::string_view::npos ? std::string_view() : all.substr(comma + 1);
    if (n.empty()) continue;
    const char* v = std::getenv(n.c_str());
    if (v) std::printf("%s=%s\n", n.c_str(), v);
    else std::printf("%s is not set\n", n.c_str());
  }
  std::fflush(stdout);
}
}  // namespace

int os_main(int argc, char** argv) {
  int base_marker = 0;
  os_set_stack_base(&base_marker);
  g_argc = argc;
  g_argv = argv;
  RunMode mode = os_parse_cmd(argc, argv, &g_cmd);
  if (mode == RunMode::Usage) {
    if (g_cmd.help && g_cmd.error.empty()) {
      os_usage(stdout);
      return kExitNormal;
    }
    std::fprintf(stderr, "quvo: %s\n%s -h lists the options, settings and exit statuses\n",
                 g_cmd.error.c_str(), os_prog());
    return kExitUsage;
  }
  std::string why;
  if (!os_load_env(g_cmd, &why)) return os_startup_fail(kExitEnvFile, why);
  test_print_env();

  switch (mode) {
    case RunMode::ThinClient:
      if (!os_hooks.thin_client) return not_built("the network-terminal client (-c)");
      return os_hooks.thin_client(g_cmd);
    case RunMode::FileUtility:
      // The files are named by their paths: no data directory is needed.
      if (!os_hooks.file_utility) return not_built("the file utilities (-fv, -fa, -fr, -fo)");
      return os_hooks.file_utility(g_cmd);
    case RunMode::Bootstrap:
      if (!os_hooks.bootstrap) return not_built("the bootstrap (-b)");
      break;
    case RunMode::FileServer:
      if (!os_hooks.file_server) return not_built("the remote file server (-r)");
      break;
    case RunMode::KeymapUtility:
      if (!os_hooks.keymap_utility) return not_built("the keymap utility (-k)");
      break;
    default: break;
  }

  DataDir dd = os_check_data_dir(mode != RunMode::Bootstrap, &why);
  if (dd != DataDir::Ready)
    return os_startup_fail(dd == DataDir::Empty ? kExitEmptyDataDir : kExitNoDataDir, why);
  if (!os_init(&why)) return os_startup_fail(kExitInitFailed, why);
  OsInit f = os_run_inits(OsInit::Cv, OsInit::Cv);
  if (f != OsInit::Count)
    return os_startup_fail(kExitInitFailed, std::string(os_init_name(f)) + " failed: " + ut_dbg);
  if (!os_check_user(&why)) return os_startup_fail(kExitNoUser, why);
  f = os_run_inits(OsInit::Pi, OsInit::Pi);
  if (f != OsInit::Count)
    return os_startup_fail(kExitInitFailed, std::string(os_init_name(f)) + " failed: " + ut_dbg);
  // A start-up invocation that names what does not exist, or options it
  // would not use, is refused before the screen starts.
  if (mode == RunMode::Interactive && g_cmd.session.empty() && g_cmd.has_invocation() && os_hooks.start_check &&
      !os_hooks.start_check(g_cmd, &why))
    return os_startup_fail(kExitUsage, why);

  switch (mode) {
    case RunMode::Bootstrap: return os_hooks.bootstrap();
    case RunMode::FileServer: return os_hooks.file_server();
    case RunMode::KeymapUtility: return os_hooks.keymap_utility();
    default: return run_interactive();
  }
}

// ===================================================== operating system ====
std::string os_shell_quote(std::string_view text) {
  std::string q = "'";
  for (char c : text) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  q += "'";
  return q;
}

namespace {
// The directory of path's last component, opened (O_PATH) one component at a
// time: a symbolic link on the way is followed only when it is root's or this
// user's (as the system's own links are), so that a link another user put in
// a directory they may write cannot lead the file elsewhere. -1 with errno
// (ELOOP for such a link, *owner its owner) or the descriptor and *leaf.
int open_log_dir(const std::string& path, std::string* leaf, uid_t* owner) {
  size_t slash = path.find_last_of('/');
  *leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
  int cur = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (size_t at = 0; cur >= 0 && at < dir.size();) {
    size_t end = dir.find('/', at);
    if (end == std::string::npos) end = dir.size();
    std::string part = dir.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == ".") continue;
    int next = openat(cur, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat ls;
    if (next < 0 && fstatat(cur, part.c_str(), &ls, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(ls.st_mode)) {
      if (ls.st_uid == 0 || ls.st_uid == geteuid()) {
        next = openat(cur, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      } else {
        *owner = ls.st_uid;
        errno = ELOOP;
      }
    }
    int e = errno;
    close(cur);
    cur = next;
    errno = e;
  }
  return cur;
}
}  // namespace

FILE* os_open_log(const char* variable) {
  const char* path = std::getenv(variable);
  if (!path || !*path) return nullptr;
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  int fd = -1, err = 0;
  std::string leaf;
  uid_t link_owner = uid_t(-1);
  int dir = open_log_dir(path, &leaf, &link_owner);
  if (dir < 0) err = errno;
  // An existing file, else a new one; a file made or removed between the
  // two tries sends the loop round again.
  for (int tries = 0; dir >= 0 && fd < 0 && tries < 8; ++tries) {
    fd = openat(dir, leaf.c_str(), kFlags | O_NONBLOCK);
    if (fd >= 0 || (err = errno) != ENOENT) break;
    fd = openat(dir, leaf.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
    if (fd >= 0 || (err = errno) != EEXIST) break;
  }
  if (dir >= 0) close(dir);
  std::string why;
  struct stat st;
  // ENXIO: a pipe or socket with no reader (the open does not wait for one).
  if (fd < 0 && link_owner != uid_t(-1)) why = "it leads through a symbolic link of " + user_name(link_owner);
  else if (fd < 0) why = err == ELOOP ? "it is a symbolic link" : err == ENXIO ? "it is not a regular file" : std::strerror(err);
  else if (fstat(fd, &st) != 0) why = std::strerror(errno);
  else if (!S_ISREG(st.st_mode)) why = "it is not a regular file";
  else if (st.st_uid != geteuid()) why = "it belongs to " + user_name(st.st_uid) + ", not to you";
  FILE* f = nullptr;
  if (why.empty()) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    f = fdopen(fd, "a");
    if (!f) why = std::strerror(errno);
  }
  if (!f) {
    if (fd >= 0) close(fd);
    std::fprintf(stderr, "quvo: %s=%s is not opened: %s; nothing is logged there\n", variable, path, why.c_str());
    return nullptr;
  }
  return f;
}

namespace {
// Starts the child (start returns its pid, or -1) with interrupt and quit
// ignored in the engine meanwhile, like system(), and waits for it.
// status := the exit code, 128 + the signal for a child killed by a signal,
// 256 + the stop signal for a stopped one (which is then killed: the engine
// does not keep stopped jobs), 127 when no child started.
template <class Start>
bool spawn_and_wait(Start start, int* status) {
  struct sigaction ign{}, old_int{}, old_quit{};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGINT, &ign, &old_int);
  sigaction(SIGQUIT, &ign, &old_quit);
  // The child gets interrupt and quit as the engine had them, the fault
  // signals at their defaults and no signal blocked.
  sigset_t def;
  sigemptyset(&def);
  if (old_int.sa_handler != SIG_IGN) sigaddset(&def, SIGINT);
  if (old_quit.sa_handler != SIG_IGN) sigaddset(&def, SIGQUIT);
  sigaddset(&def, SIGSEGV);
  sigaddset(&def, SIGBUS);

  pid_t pid = start(def);
  bool started = pid > 0;
  int st = 0;
  if (started) {
    pid_t w;
    while ((w = waitpid(pid, &st, WUNTRACED)) < 0 && errno == EINTR) {
    }
    if (w < 0) started = false;
  }
  if (!started) {
    *status = 127;
  } else if (WIFEXITED(st)) {
    *status = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    *status = 128 + WTERMSIG(st);
  } else if (WIFSTOPPED(st)) {
    *status = 256 + WSTOPSIG(st);
    kill(pid, SIGKILL);
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
  }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  return started;
}
}  // namespace

bool os_spawn(std::string_view command, int* status) {
  std::string cmd(command);
  char sh[] = "sh", dash_c[] = "-c";
  char* args[] = {sh, dash_c, cmd.data(), nullptr};
  return spawn_and_wait(
      [&](const sigset_t& def) -> pid_t {
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &def);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        pid_t pid = 0;
        int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, args, environ);
        posix_spawnattr_destroy(&attr);
        return rc == 0 ? pid : -1;
      },
      status);
}

bool os_spawn_argv(const std::string& path, const std::vector<std::string>& args, bool real_user, int* status) {
  // Everything the child needs is made before the fork: after it, only
  // async-signal-safe calls.
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  uid_t ruid = getuid();
  gid_t rgid = getgid();
  bool drop = real_user && geteuid() != ruid;
  // A set-group-id engine: the program does not keep the engine's group.
  bool drop_group = real_user && getegid() != rgid;
  return spawn_and_wait(
      [&](const sigset_t& def) -> pid_t {
        pid_t pid = fork();
        if (pid != 0) return pid;
        struct sigaction dfl{};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        for (int sig = 1; sig < NSIG; ++sig)
          if (sigismember(&def, sig) == 1) sigaction(sig, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // All three user ids become the real one, so the program cannot
        // switch back to the engine's owner.
        if (drop_group && setresgid(rgid, rgid, rgid) != 0) _exit(127);
        if (drop && setresuid(ruid, ruid, ruid) != 0) _exit(127);
        execv(path.c_str(), argv.data());
        _exit(127);
      },
      status);
}

int os_submit(const char session[8], const OsSubmit& fields) {
  const char* script = std::getenv("QUVO_BG_SCRIPT");
  if (!script || !*script) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "os_submit() - QUVO_BG_SCRIPT is not set: no submit script");
    os_sys_err("OS", __LINE__);
    return -1;
  }
  std::string path = script[0] == '/' ? std::string(script) : std::string(os_data_dir()) + "/" + script;
  if (script[0] != '/') {
    // The data directory is the group's: a script there runs as this user
    // only when no one else can have put it there or changed it, as the
    // print script (owned by this user, root or the directory's owner; a
    // regular file that no one else may write; every directory on its way
    // held so too). A missing one is refused as well: another member could
    // plant it before it runs.
    std::string where;
    OsTrust t = os_trust_data(path, &where);
    if (t != OsTrust::Ok) {
      static const char* const kWhy[] = {"", "is not a regular file", "belongs to another user",
                                         "may be changed by other users", "lies in a directory others may change",
                                         "is missing"};
      std::snprintf(ut_dbg, sizeof ut_dbg, "os_submit() - the submit script %s is refused: %s %s", path.c_str(),
                    where.c_str(), kWhy[int(t)]);
      os_sys_err("OS", __LINE__);
      return -1;
    }
  }
  auto arg = [](const char* name, std::string_view v) {
    while (!v.empty() && (v.back() == ' ' || v.back() == '\0')) v.remove_suffix(1);
    return " " + os_shell_quote(std::string("-") + name + "=" + std::string(v));
  };
  std::string cmd = os_shell_quote(path);
  cmd += arg("image", fields.image);
  cmd += " " + os_shell_quote("-session=" + std::string(session, 8));
  cmd += arg("mode", fields.mode);
  cmd += arg("notify", fields.notify);
  cmd += arg("date", fields.date);
  cmd += arg("priority", fields.priority);
  cmd += arg("queue", fields.queue);
  cmd += arg("user", fields.user);
  int status = 0;
  if (!os_spawn(cmd, &status)) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "os_submit() - cannot start the submit script %s", path.c_str());
    os_sys_err("OS", __LINE__);
    return -1;
  }
  return status;
}

namespace {
using Word = intptr_t;
using Caller = int32_t (*)(void*, const Word*);

template <size_t... I>
int32_t call_n(void* fn, const Word* a, std::index_sequence<I...>) {
  using F = Word (*)(decltype((void)I, Word{})...);
  return int32_t(uint32_t(reinterpret_cast<F>(fn)(a[I]...)));
}
template <size_t N>
int32_t call_fixed(void* fn, const Word* a) {
  return call_n(fn, a, std::make_index_sequence<N>{});
}
template <size_t... N>
constexpr std::array<Caller, sizeof...(N)> make_callers(std::index_sequence<N...>) {
  return {&call_fixed<N>...};
}
constexpr auto kCallers = make_callers(std::make_index_sequence<kOsCallMax + 1>{});
}  // namespace

int32_t os_call(const intptr_t* args, void* fn) {
  if (!args || !fn) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "os_call() - no %s", fn ? "arguments" : "function");
    os_sys_err("OS", __LINE__);
    return 0;
  }
  intptr_t n = args[0];
  if (n < 0 || n > kOsCallMax) {
    std::snprintf(ut_dbg, sizeof ut_dbg,
                  "os_call() - %ld arguments: a function can be passed at most %d; nothing was called",
                  long(n), kOsCallMax);
    os_sys_err("OS", __LINE__);
    return 0;
  }
  return kCallers[size_t(n)](fn, args + 1);
}

// ------------------------------------------------------------------ time --
int64_t os_days_from_civil(int y, int m, int d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + int64_t(kDayOf1970);
}

void os_civil_from_days(int64_t day, int* year, int* month, int* mday) {
  int64_t z = day - int64_t(kDayOf1970) + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  *year = int(y + (m <= 2));
  *month = int(m);
  *mday = int(d);
}

namespace {
bool g_time_loaded = false;
int64_t g_time_offset = 0;  // hundredths added to the host clock

// Local time now, in hundredths since the start of day 0.
int64_t local_hundredths() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  // The local time of a second is worked out once: a program that reads
  // the clock in a loop reads it many times a second.
  thread_local time_t last_s = -1;
  thread_local int64_t last_secs = 0;
  time_t s = tv.tv_sec;
  if (s != last_s) {
    tm t;
    localtime_r(&s, &t);
    int64_t day = os_days_from_civil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    last_secs = day * 86400 + t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
    last_s = s;
  }
  return last_secs * 100 + tv.tv_usec / 10000;
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}
}  // namespace

bool os_fake_time_load(std::string* error) {
  g_time_loaded = true;
  g_time_offset = 0;
  const char* v = std::getenv("QUVO_FAKE_TIME");
  if (!v || !*v) return true;
  std::string_view s = v;
  auto bad = [&] {
    if (error)
      *error = "QUVO_FAKE_TIME=" + std::string(s) +
               " is not +SECONDS, -SECONDS or a local time YYYYMMDDHHMMSS";
    return false;
  };
  if (s[0] == '+' || s[0] == '-') {
    std::string_view digits = s.substr(1);
    if (!all_digits(digits) || digits.size() > 12) return bad();
    int64_t secs = std::stoll(std::string(digits));
    g_time_offset = (s[0] == '-' ? -secs : secs) * 100;
    return true;
  }
  if (s.size() != 14 || !all_digits(s)) return bad();
  auto num = [&](size_t at, size_t n) { return std::atoi(std::string(s.substr(at, n)).c_str()); };
  int y = num(0, 4), mo = num(4, 2), d = num(6, 2), h = num(8, 2), mi = num(10, 2), se = num(12, 2);
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || se > 59) return bad();
  int ny, nm, nd;
  os_civil_from_days(os_days_from_civil(y, mo, d), &ny, &nm, &nd);
  if (nd != d || nm != mo) return bad();  // no such day in that month
  int64_t fake = (os_days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + se) * 100;
  g_time_offset = fake - local_hundredths();
  return true;
}

void os_quvo_time(HostTime* out) {
  if (!g_time_loaded) {
    std::string err;
    if (!os_fake_time_load(&err))
      std::fprintf(stderr, "quvo: %s; the clock is not shifted\n", err.c_str());
  }
  int64_t h = local_hundredths() + g_time_offset;
  int64_t day = h >= 0 ? h / 8640000 : -((-h + 8639999) / 8640000);
  int64_t rest = h - day * 8640000;
  out->day = uint32_t(day > 0 ? day : 0);
  out->hundredths = uint32_t(day > 0 ? rest : 0);
}

// ---------------------------------------------------------------- facts --
std::string os_info(int item) {
  switch (item) {
    case 10: {
      char b[4096];
      ssize_t n = readlink("/proc/self/exe", b, sizeof b - 1);
      if (n > 0) return std::string(b, size_t(n));
      return g_argv && g_argv[0] ? g_argv[0] : "";
    }
    case 11: return std::to_string(getpid());
    case 12: {
      if (isatty(STDIN_FILENO))
        if (const char* t = ttyname(STDIN_FILENO)) {
          std::string_view v = t;
          if (v.substr(0, 5) == "/dev/") v.remove_prefix(5);
          return std::string(v);
        }
      SsHostInfo hi;
      ss_host_info(&hi);
      return std::string(hi.name);
    }
    default: return "";
  }
}
