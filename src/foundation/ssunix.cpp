#include "foundation/ssunix.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "foundation/bi.h"
#include "foundation/ut.h"

// ------------------------------------------------------ dynamic loading --
namespace {
struct DynFn {
  std::string name;
  void* addr;
};
struct DynLib {
  std::string name;
  void* handle;
  std::vector<DynFn> fns;
};
std::vector<DynLib>& libs() {
  static std::vector<DynLib> l;
  return l;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

// The library name of a reference: before the first comma, without blanks
// around it and without the keep-loaded mark '%'.
std::string lib_name(std::string_view ref, std::string_view* rest) {
  ref = trim(ref);
  size_t comma = ref.find(',');
  std::string_view lib = comma == std::string_view::npos ? ref : ref.substr(0, comma);
  if (rest) *rest = comma == std::string_view::npos ? std::string_view() : ref.substr(comma + 1);
  std::string name;
  for (char c : trim(lib))
    if (c != '%') name += c;
  return std::string(trim(name));
}
}  // namespace

namespace {
bool g_dirs_set = false;
std::string g_dirs;

// "" when the library at the resolved path lies in (or below) one of the
// directories the data directory's owner names; otherwise why it may not
// be loaded.
std::string confined(const std::string& path) {
  const std::string& dirs = g_dirs_set ? g_dirs : os_lib_dirs();
  size_t at = 0;
  while (at <= dirs.size()) {
    size_t colon = dirs.find(':', at);
    std::string d = dirs.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
    at = colon == std::string::npos ? dirs.size() + 1 : colon + 1;
    if (d.empty() || d[0] != '/') continue;
    char* rd = realpath(d.c_str(), nullptr);
    if (!rd) continue;
    bool within = ut_path_within(path, rd);
    std::free(rd);
    if (within) return "";
  }
  return dirs.empty() ? "a path, while the data directory's quvo.env names no library directory (QUVO_LIB_DIRS)"
                      : "a path outside the library directories of the data directory's quvo.env (QUVO_LIB_DIRS)";
}

// A library named by a path is opened first (O_PATH, links followed), the
// file that descriptor holds is checked, and the loader is given that very
// file as /proc/self/fd/N: a link or directory swapped after the check
// changes nothing. The loader knows a loaded object by the name it was
// loaded under, so each file keeps its one descriptor (and so its name)
// while the engine runs: the name never comes to mean another file.
struct HeldLib {
  dev_t dev;
  ino_t ino;
  int fd;
};
std::vector<HeldLib>& held() {
  static std::vector<HeldLib> h;
  return h;
}

// The name to load the library lib by, or "" with why set.
std::string checked_path(const std::string& lib, std::string* why) {
  int fd = open(lib.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return "";
  }
  struct stat st;
  std::string fd_name = "/proc/self/fd/" + std::to_string(fd);
  char real[4096];
  ssize_t n = -1;
  if (fstat(fd, &st) != 0) *why = std::strerror(errno);
  else if (!S_ISREG(st.st_mode)) *why = "not a regular file";
  else if ((n = readlink(fd_name.c_str(), real, sizeof real - 1)) <= 0) *why = std::strerror(errno);
  else *why = confined(std::string(real, size_t(n)));
  if (!why->empty()) {
    close(fd);
    return "";
  }
  for (const HeldLib& h : held())
    if (h.dev == st.st_dev && h.ino == st.st_ino) {
      close(fd);
      return "/proc/self/fd/" + std::to_string(h.fd);
    }
  held().push_back(HeldLib{st.st_dev, st.st_ino, fd});
  return fd_name;
}
}  // namespace

void ss_dyn_set_dirs(const char* dirs) {
  g_dirs_set = dirs != nullptr;
  g_dirs = dirs ? dirs : "";
}

bool ss_dyn_load(std::string_view ref, void** fn) {
  if (fn) *fn = nullptr;
  std::string_view rest;
  std::string lib = lib_name(ref, &rest);
  if (trim(ref).find(',') == std::string_view::npos) {
    std::fprintf(stderr, "dynamic load of %s failed with %s\n", std::string(trim(ref)).c_str(),
                 "no comma between library and function name");
    return false;
  }
  std::string fname(trim(rest));
  if (lib.empty() || fname.empty()) {
    std::fprintf(stderr, "dynamic load of %s failed with %s\n", std::string(trim(ref)).c_str(),
                 lib.empty() ? "no library name" : "no function name");
    return false;
  }
  DynLib* found = nullptr;
  for (DynLib& l : libs())
    if (l.name == lib) found = &l;
  std::string load = lib;
  if (!found && lib.find('/') != std::string::npos) {
    std::string why;
    load = checked_path(lib, &why);
    if (load.empty()) {
      std::fprintf(stderr, "dynamic load of %s failed with %s\n", lib.c_str(), why.c_str());
      return false;
    }
  }
  if (!found) {
    void* h = dlopen(load.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      const char* e = dlerror();
      std::fprintf(stderr, "dynamic load of %s failed with %s\n", lib.c_str(), e ? e : "unknown error");
      return false;
    }
    libs().push_back(DynLib{lib, h, {}});
    found = &libs().back();
  }
  for (const DynFn& f : found->fns)
    if (f.name == fname) {
      if (fn) *fn = f.addr;
      return true;
    }
  dlerror();
  void* addr = dlsym(found->handle, fname.c_str());
  if (!addr) {
    const char* e = dlerror();
    // The function's name, not its address, is what tells the reader
    // which look-up failed.
    std::fprintf(stderr, "load of function %s failed with error %s\n", fname.c_str(),
                 e ? e : "symbol has no address");
    return false;
  }
  found->fns.push_back(DynFn{fname, addr});
  if (fn) *fn = addr;
  return true;
}

void ss_dyn_free(std::string_view ref) {
  std::string lib = lib_name(ref, nullptr);
  auto& l = libs();
  for (size_t i = 0; i < l.size(); ++i)
    if (l[i].name == lib) {
      dlclose(l[i].handle);
      l.erase(l.begin() + long(i));
      return;
    }
}

int ss_dyn_count() { return int(libs().size()); }

// ---------------------------------------------------- memory-fault path --
//
// Why an exception from the handler: a memory fault must end the running
// process with completion code 37 and leave the engine running (a menu shows
// "MENU FAILED" and goes on), so the scope of the process has to be left
// with its clean-up run. Longjmp would skip every C++ destructor on the way;
// a C++ exception runs them. Throwing out of a signal handler is sound only
// when the signal is synchronous, raised by the instruction that faulted, and
// that instruction lies in code with unwind tables that allow a trapping
// instruction to throw: the engine is built with -fnon-call-exceptions, the
// unwinder steps through the kernel's signal frame, and the handler refuses
// every other case (a signal sent by kill, a fault outside any scope, a
// fault while recovering from the last one) by reporting and ending the
// engine. SA_NODEFER leaves the signal unblocked after the throw, and the
// alternate stack lets a stack overflow at least be reported.
namespace {
// The unwind a fault starts (caught as ScopeUnwind everywhere).
struct FaultUnwind : ScopeUnwind {};
volatile sig_atomic_t g_ready = 1;
volatile sig_atomic_t g_sig = 0;
const void* volatile g_addr = nullptr;

void put(const char* s) {
  ssize_t n = write(STDERR_FILENO, s, std::strlen(s));
  (void)n;
}

void put_hex(uintptr_t v) {
  char b[2 + 16 + 1];
  int i = sizeof b - 1;
  b[i] = '\0';
  do {
    b[--i] = "0123456789abcdef"[v & 15];
    v >>= 4;
  } while (v && i > 2);
  b[--i] = 'x';
  b[--i] = '0';
  put(b + i);
}

[[noreturn]] void fatal(int sig, const void* addr, const char* why) {
  put("quvo: memory fault (");
  put(sig == SIGBUS ? "SIGBUS" : "SIGSEGV");
  put(") at address ");
  put_hex(uintptr_t(addr));
  put(": ");
  put(why);
  put("; the engine ends\n");
  _exit(37);
}

// Guarded mappings (ss_guard_map). The list changes only outside the
// handler's reach: a synchronous fault comes from the faulting instruction,
// never from inside the code that changes the list.
struct Guard {
  uintptr_t base;
  uint64_t len;
  bool writable;
  volatile sig_atomic_t* cut;
};
std::vector<Guard> g_guards;
uintptr_t g_page = 0;
bool g_armed = false;  // ss_reset_sig_handler installed the handler
struct sigaction g_before[2];  // SIGBUS, SIGSEGV as found when guarding installed it

// A fault inside a guarded mapping: a page of zeros in the page's place.
bool guarded(int sig, const siginfo_t* info) {
  if (sig != SIGBUS || info->si_code <= 0) return false;
  auto a = uintptr_t(info->si_addr);
  for (const Guard& g : g_guards) {
    if (a < g.base || a - g.base >= g.len) continue;
    void* page = reinterpret_cast<void*>(a & ~(g_page - 1));
    int prot = PROT_READ | (g.writable ? PROT_WRITE : 0);
    if (::mmap(page, g_page, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0) == MAP_FAILED)
      return false;
    *g.cut = 1;
    return true;
  }
  return false;
}

void on_fault(int sig, siginfo_t* info, void*) {
  if (guarded(sig, info)) return;
  if (!g_armed) {
    // Guarding installed the handler: the disposition found before it takes
    // the fault when the instruction faults again.
    sigaction(sig, &g_before[sig == SIGBUS ? 0 : 1], nullptr);
    return;
  }
  if (info->si_code <= 0) fatal(sig, info->si_addr, "signal sent by another process");
  if (!g_ready) fatal(sig, info->si_addr, "a second fault before the engine recovered from the first");
  if (com.depth == 0) fatal(sig, info->si_addr, "outside any recovery scope");
  g_ready = 0;
  g_sig = sig;
  g_addr = info->si_addr;
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, SIGSEGV);
  sigaddset(&s, SIGBUS);
  pthread_sigmask(SIG_UNBLOCK, &s, nullptr);
  // The running process: a SUBPROCESS child runs in a sub-process scope
  // inside its caller's process scope, and its fault ends it alone.
  throw FaultUnwind{{int(CompletionCode::Signal), std::max(com.proc_scope.get(), com.subproc_scope.get())}};
}

// Whether what ends in std::terminate is the unwind a fault started (the
// exception being thrown is the handler's own), not an exception of
// something else: one escaping a function declared not to throw, or thrown
// by a destructor while the fault's unwind passed it.
bool fault_unwind_stopped() {
  std::exception_ptr e = std::current_exception();
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (const FaultUnwind&) {
    return true;
  } catch (...) {
  }
  return false;
}

// A fault inside a library routine (a copy of the C library's, say) cannot
// be unwound: the routine is declared not to throw, so the search for the
// scope stops at its caller and ends in std::terminate. The engine then
// ends as it does for a fault outside any scope, its terminal given back.
// Any other std::terminate gives the terminal back too, then ends as the
// handler found at the start ends it (a message naming the exception, and
// an abort).
std::terminate_handler g_old_terminate = nullptr;
[[noreturn]] void on_terminate() {
  static bool entered = false;  // a second one from in here: no more than the abort
  if (entered) std::abort();
  entered = true;
  bool fault = g_sig && !g_ready && fault_unwind_stopped();
  if (os_hooks.wm_finish) os_hooks.wm_finish();
  if (fault) fatal(g_sig, g_addr, "inside a library routine, from which the process cannot be ended alone");
  if (g_old_terminate) g_old_terminate();
  std::abort();
}

void set_alt_stack() {
  static bool done = false;
  if (done) return;
  done = true;
  constexpr size_t kSize = 64 * 1024;
  static char* mem = static_cast<char*>(std::malloc(kSize));
  stack_t st{};
  st.ss_sp = mem;
  st.ss_size = kSize;
  st.ss_flags = 0;
  if (mem) sigaltstack(&st, nullptr);
}

void install_handler() {
  struct sigaction sa{};
  sa.sa_sigaction = on_fault;
  sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, nullptr);
  sigaction(SIGBUS, &sa, nullptr);
}
}  // namespace

void ss_guard_map(void* base, uint64_t len, bool writable, volatile sig_atomic_t* cut) {
  if (!base || !len) return;
  if (!g_page) g_page = uintptr_t(sysconf(_SC_PAGESIZE));
  g_guards.push_back({uintptr_t(base), len, writable, cut});
  struct sigaction now{};
  sigaction(SIGBUS, nullptr, &now);
  if ((now.sa_flags & SA_SIGINFO) && now.sa_sigaction == on_fault) return;
  // Not installed (or another handler put in its place since): keep what
  // was there for the faults the guards do not take.
  g_armed = false;
  sigaction(SIGBUS, nullptr, &g_before[0]);
  sigaction(SIGSEGV, nullptr, &g_before[1]);
  set_alt_stack();
  install_handler();
}

void ss_unguard_map(void* base) {
  for (size_t i = 0; i < g_guards.size(); ++i) {
    if (g_guards[i].base != uintptr_t(base)) continue;
    g_guards[i] = g_guards.back();
    g_guards.pop_back();
    return;
  }
}

void ss_reset_sig_handler() {
  set_alt_stack();
  if (std::get_terminate() != on_terminate) g_old_terminate = std::set_terminate(on_terminate);
  install_handler();
  g_armed = true;
  g_ready = 1;
}

int ss_fault_signal() { return g_sig; }
const void* ss_fault_addr() { return g_addr; }
bool ss_fault_ready() { return g_ready != 0; }

// --------------------------------------------------------- stop signals --
//
// The handler may run between any two instructions of the engine, so it
// touches nothing but these flags and the control word's interrupt bit; the
// interpreter acts on them where it yields, with its state written back.
namespace {
volatile sig_atomic_t g_intr = 0;        // SIGINT not yet taken
volatile sig_atomic_t g_end_sig = 0;     // SIGTERM or SIGHUP
volatile sig_atomic_t g_end_status = 0;  // the exit status ss_end_engine asked for
int g_intr_taken = 0;                     // interrupts that ended a process
constexpr int kStopSigs[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_old_stop[3];
bool g_stop_set[3] = {};

void on_stop(int sig) {
  if (sig == SIGINT) g_intr = 1;
  else g_end_sig = sig;
  com.dbg_ctl_bits = com.dbg_ctl_bits | kSsInterruptBit;
}
}  // namespace

void ss_catch_stop_signals() {
  struct sigaction sa{};
  sa.sa_handler = on_stop;
  // Restarted calls: a read of a pipe or a lock wait is not failed by the
  // signal; the waits of the engine look at the flags themselves.
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int sig : kStopSigs) sigaddset(&sa.sa_mask, sig);
  for (int i = 0; i < 3; ++i) {
    if (g_stop_set[i]) continue;
    if (sigaction(kStopSigs[i], nullptr, &g_old_stop[i]) != 0 || g_old_stop[i].sa_handler == SIG_IGN) continue;
    g_stop_set[i] = sigaction(kStopSigs[i], &sa, nullptr) == 0;
  }
}

void ss_release_stop_signals() {
  for (int i = 0; i < 3; ++i)
    if (g_stop_set[i]) {
      sigaction(kStopSigs[i], &g_old_stop[i], nullptr);
      g_stop_set[i] = false;
    }
}

bool ss_interrupted() { return g_intr != 0; }
int ss_stop_signal() { return g_end_sig; }

int ss_interrupts_taken() { return g_intr_taken; }

bool ss_take_interrupt() {
  if (!g_intr) return false;
  g_intr = 0;
  ++g_intr_taken;
  return true;
}

void ss_stop_clear() {
  g_intr = 0;
  g_intr_taken = 0;
  g_end_sig = 0;
  g_end_status = 0;
  com.dbg_ctl_bits = com.dbg_ctl_bits & ~kSsInterruptBit;
}

int ss_end_status() { return g_end_status ? int(g_end_status) : g_end_sig ? kExitStopSignal : 0; }

void ss_end_engine(int status) {
  g_end_status = status;
  if (com.depth == 0) {
    if (os_hooks.wm_finish) os_hooks.wm_finish();
    std::exit(status);
  }
  ut_unwind_to(1, int(CompletionCode::CancelError));
}

void ss_stop_unwind() {
  if (g_end_sig || g_end_status) ss_end_engine(ss_end_status());
  g_intr = 0;
  ++g_intr_taken;
  if (com.depth == 0) ss_end_engine(kExitStopSignal);
  ut_unwind(int(CompletionCode::CancelError));
}

// ----------------------------------------------------- network terminal --
namespace {
SsPing g_ping = nullptr;
}

void ss_set_ping(SsPing ping) { g_ping = ping; }

int ss_yield() {
  if (g_intr | g_end_sig) com.dbg_ctl_bits = com.dbg_ctl_bits | kSsInterruptBit;
  if (com.net_socket != 0 && g_ping && !g_ping()) {
    std::fprintf(stderr, "quvo: the network-terminal client does not answer; the engine ends\n");
    std::exit(kExitNetGone);
  }
  return 1;
}

// --------------------------------------------------- background session --
namespace {
char g_session[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
}

const char* ss_session() { return g_session; }

void ss_set_session(std::string_view id) {
  std::memset(g_session, ' ', sizeof g_session);
  std::memcpy(g_session, id.data(), id.size() < 8 ? id.size() : 8);
}

// -------------------------------------------------------------- the rest --
void ss_sleep(unsigned seconds) {
  timespec left{time_t(seconds), 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR && !g_end_sig) {
  }
}

void ss_host_time(LaText* out, const HostTime& t) {
  int y, m, d;
  os_civil_from_days(int64_t(t.day.get()), &y, &m, &d);
  uint32_t h = t.hundredths;
  unsigned secs = h / 100;
  char b[32];
  std::snprintf(b, sizeof b, "%02d%02d%02d%02d%02u%02u%02u%02u", (y / 100) % 100, y % 100, m, d,
                (secs / 3600) % 100, secs / 60 % 60, secs % 60, h % 100);
  size_t n = std::strlen(b);
  if (n > out->len) n = out->len;
  std::memcpy(out->text, b, n);
  out->len = uint16_t(n);
}

namespace {
SsOsPath g_os_path = nullptr;
}  // namespace

void ss_set_os_path(SsOsPath fn) { g_os_path = fn; }

LaText ss_bld_path(FmFdb* fdb) {
  static std::string path;
  path.clear();
  if (!fdb || !g_os_path || !g_os_path(fdb, &path) || path.size() > 0xFFFF) path.clear();
  return LaText{uint16_t(path.size()), path.data()};
}

void ss_host_info(SsHostInfo* out) {
  static utsname u;
  static bool have = uname(&u) == 0;
  out->type = "LINUX";
  out->model = std::string_view();
  out->name = have ? std::string_view(u.nodename) : std::string_view();
}
