// Test helper: an Output process over the test application's sales with the
// range levels of the query OPA SALES (region, then branch), run from its
// menu (option 1, then END) by the engine in a child of the test on a
// memory terminal, the query's criteria written when the stream asks for
// its definition.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine.h"
#include "executors/op.h"
#include "foundation/os.h"
#include "process/pb.h"
#include "process/pbutil.h"
#include "screen/km.h"
#include "screen/memterm.h"
#include "screen/wm.h"
#include "support/query_sort.h"

namespace opfx {

// The child's exit status. grand: the query begins with a grand-total line;
// subheadings: each range asks for a standard subheading.
inline int run_ranges(const std::string& var, const std::string& prt, bool grand,
                      const char* menu = "OP RANGES MENU", bool subheadings = true) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(60);
    setenv("QUVOPATH", var.c_str(), 1);
    setenv("QUVO_PRT_FI_DIR", prt.c_str(), 1);
    setenv("TERM", "xterm", 1);
    static Keymap km;
    static MemTerm term;
    std::string err;
    if (!km_compile_source(kTestKeymap, ".", "test.km", "xterm", &km, &err)) _exit(90);
    for (const char* k : {"1", "\r", "\x1bOR"}) term.key(k);
    engine_register();
    op_register();
    op_exec_register();
    os_set_init(OsInit::Wm, [] { return wm_start_deferred(&term, &km); });
    static bool with_grand, with_subheadings;
    with_grand = grand;
    with_subheadings = subheadings;
    pb_set_define([](const FmScbQuery& q, PbQueryDef* out) {
      return qsort_fx::write(int(q.scope), {"OPA", "OPA SALES", {"SALE REGION", "SALE BRANCH"}, with_grand, with_subheadings}) ? pb_qfi_define(q, out) : 0;
    });
    const char* args[] = {"quvo", "-d", "OPD", "-a", "OPA", "-t", "Menu", "-p", menu, nullptr};
    int rc = os_main(9, const_cast<char**>(args));
    std::fflush(nullptr);
    _exit(rc);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace opfx
