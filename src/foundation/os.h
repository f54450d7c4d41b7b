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
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class SysErrAnswer { Continue, Cancel };

// Asked to answer one system error; module, line and the text of ut_dbg.
using SysErrAsk = SysErrAnswer (*)(const char* module, int line, const char* text);

void os_sys_err(const char* module, int line);
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

// The invocation record shown on the system-error screen.
constexpr size_t kInvocSize = 144;
extern uint8_t os_invoc[kInvocSize];
void os_err_set_invoc(const void* invocation);

// Writes "%s - %s\n" of module and ut_dbg to standard error while the common
// block's trace flag is set.
void TRACE(const char* module);

// Process trace entry: 0 and nothing written while no trace hook is set.
using TraceHook = int (*)(int flags, int level, uint32_t msg, void* pcb, void* data);
void os_set_trace_hook(TraceHook hook);
int TRACE_QUVO(int flags, int level, uint32_t msg, void* pcb, void* data);
