#include "foundation/os.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/ut.h"

uint8_t os_invoc[kInvocSize];

namespace {
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

void os_sys_err(const char* module, int line) {
  ut_dbg[sizeof ut_dbg - 1] = '\0';
  const char* text = ut_dbg;
  if (g_log.size() >= 256) g_log.erase(g_log.begin());
  g_log.push_back({module ? module : "", line, text});
  SysErrAnswer a;
  if (g_responder) a = g_responder(module, line, text);
  else if (g_screen && com.screen_up) a = g_screen(module, line, text);
  else a = ask_console(module, line, text);
  if (a == SysErrAnswer::Continue) return;
  if (com.depth == 0) {
    std::fprintf(stderr, "quvo: system error outside any scope: ended\n");
    std::exit(3);
  }
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

void os_set_trace_hook(TraceHook hook) { g_trace = hook; }

int TRACE_QUVO(int flags, int level, uint32_t msg, void* pcb, void* data) {
  if (!g_trace) return 0;
  return g_trace(flags, level, msg, pcb, data);
}
