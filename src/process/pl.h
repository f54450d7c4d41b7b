// The module loader and cache, the executable module's constructor and the
// saved module and debug files.
//
// A PCB gets its executable module (EM) from the engine's module cache, from
// the saved module file of its process, or by compiling the process; a
// module from the cache or a file is verified against the dictionary first,
// so a process never runs stale code. Modules are shared by use count.
//
// Invariants:
//   1. A module's use count is the number of holders that took it (a PCB
//      through pl_get or cache_get, pl_bld for its moment); every holder
//      gives it back through pl_release once, on every path.
//   2. `cache_cnt` equals the number of records of the module cache, and
//      the set `cached` holds their headers (em_cached asks it); a module
//      leaves the cache only through cache_remove (pl_discard, purge_em,
//      verify_em).
//   3. A saved form never carries an arena reference: a module is saved only
//      before relocation (compile, save, relocate; load_em saves again before
//      relocating); pl_put refuses one whose code was relocated. The written
//      header has its handle and address slots zeroed, CAP its handles; the
//      loader clears them again and never follows a slot read from a file.
//   4. Saved files are replaced whole: each is written under a temporary
//      name in its directory and renamed over the old one, the debug file
//      first. A killed engine leaves the old file or the new one, and its
//      temporary file ('_' and its process id in base 36), which the next
//      engine state to save in that directory removes once that process is
//      gone (never a file of a live engine).
//   5. The saved module file keeps 'Q' at header byte 0 and the format
//      version (kEmFormat, little-endian 24 bits) in bytes 1-3, and ends with
//      a record holding the count and a checksum of the records before it.
//      Another mark or version, or a file whose last record does not match,
//      is deleted and the process compiled.
//   6. A module unlinked from the cache while held (the dictionary changed
//      under a RELATED or DETACHED run) is freed at its last release.
//
// Saved module file (path type 3, variable records up to 32767 bytes): the
// header (1348 bytes, status word 0), the sub-files in em_subs order as the
// file manager's sequential images of memory files, the area table (area
// count plus one records of 28 bytes), the image rows, the checksum record.
// Debug file (path type 4): a 16-byte header (creation stamp, TOC count,
// TRAP count), the TOC records, the TRAP records (12 bytes each).
//
// Messages: 300560 while compiling, 300570 while saving, in a message window
// when a screen is up (pl_close_notice takes it down before a failed
// compile's errors show). QUVO_DBG_VFY names a file that gets one line per
// verification failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <cstdio>

#include "files/fm.h"
#include "files/dictrec.h"
#include "foundation/record.h"
#include "process/em.h"
#include "process/pcb.h"

// Saved-module format version (header bytes 1-3). 2: the header keeps the
// process's defaults (default mode, AUTO READNEXT, EXACT KEY REQUIRED,
// CANCEL OK); a module of version 1 copied those definition bytes as they
// stood and is compiled again.
constexpr uint32_t kEmFormat = 2;
constexpr uint32_t kPlNoDefinition = 200140;

// The compile context handed to the process compiler.
struct EmCmplCtx {
  const DProc* def;
  Pcb* pcb;
  EmHeader* em;
  int compile_flag;
  int code;            // out: completion code of a failed compile
};
// The process compiler: 1 with the header and sub-files filled (mark 'Q'
// last), or 0 with a completion code in ctx->code. Set by the compiler at
// start-up; while none is set a build fails as a compile does (200140).
using EmCompiler = int (*)(EmCmplCtx* ctx);
void em_set_compiler(EmCompiler fn);
// The code verifier (the interpreter's layer sets it when it starts): 1 when
// the module's code and tables are sound, else 0 with the reason in why (n
// bytes). Every module is verified before its first run: a saved one when it
// is loaded (one that fails is deleted and the process compiled again, with
// a line in the system-error log), a compiled one after its compile (one
// that fails is a system error and no module). While none is set, no saved
// module is loaded: every process compiles.
using EmVerifier = int (*)(EmHeader* em, char* why, size_t n);
void em_set_verifier(EmVerifier fn);
EmVerifier em_verifier();

// ------------------------------------------------------------- module --
// A new empty module for the PCB's process (header from " PL_POOL", its
// pool, every sub-file empty: those of a freed module when there are, else
// created); key and language from the PCB.
EmHeader* em_new(const Pcb* pcb);
// A TOC (trap: TRAP) file of a freed module, emptied, for a module's compile
// to take before it makes one; null when there is none.
FmArb* em_spare_toc(bool trap);
// The same for the compile's work files (the area list LF; with tdlu,
// TDLU): one of an earlier compile, emptied, or null; em_keep_work keeps one
// (open in the base scope) emptied when there is room, else answers false
// and the caller scratches it.
FmArb* em_spare_work(bool tdlu);
bool em_keep_work(bool tdlu, FmArb* h);
// Takes a sub-file (or TOC, TRAP) out of a module: kept emptied for the next
// modules, or scratched. 1, or 0 when the scratch failed (the status in the
// handle).
int em_drop_sub(EmHeader* em, Ref<FmArb> EmHeader::*slot);
// Scratches the kept sub-files of freed modules (tests that count memory
// files or arena bytes).
void pl_spares_release();
// Compiles the process into a new module: 1 with the module in the PCB
// (use count 1), or 0 with the compiler's completion code in the PCB.
int build_em(const DProc* def, Pcb* pcb, int compile_flag);

// ------------------------------------------------------------ loader --
// Starts the loader: the pool, the cache, the verification log. Safe to
// call again (a new engine state: the cache is emptied first).
void pl_init();
// Plugs the loader into the program entry (its start-up stage, OsInit::Pl).
void pl_register();
// Gives the PCB its module: 1 (202 in the completion code for a cache hit),
// or 0 with the reason in the completion code.
int pl_get(Pcb* pcb, int compile_flag);
// Takes the notice of the compile under way off the screen (nothing when
// none is up).
void pl_close_notice();
// Gives back the PCB's hold on its module (invariant 1) and clears the
// PCB's module field. Safe on a PCB without module.
void pl_release(Pcb* pcb);
void em_release(EmHeader* em);
int get_dproc(Pcb* pcb, DProc* def);
// The process definition of key: 1, or 0 with the failed file's identity
// and status (200340 when the application itself does not exist).
int read_dproc(const PiInvoc& key, DProc* def, FmFdb* ident, uint32_t* status);
int cache_get(Pcb* pcb, const DProc* def, int verify);
int cache_put(Pcb* pcb);
int dflt_save_em(const DProc* def, const Pcb* pcb);
int pl_rloc(Pcb* pcb);
int pl_cache_rloc(EmHeader* em, void* reference, int kind);
int pl_discard(EmHeader* em);
int pl_free(EmHeader* em, int free_block);
int pl_bld(int ignored, const char* app, const char* ver, int type, const char* name, char flag);
int pl_scratch(int ignored, const char* app, const char* ver, int type, const char* name,
               uint32_t* status);
void pl_dump(FILE* out);
// One record of a screen sub-file ("CFRM", "CIMG", "CCHR", "CCHLD",
// "CITM", "CDLU") field by field, "name=value" separated by blanks (the
// embedded window item and invocation field by field too; texts quoted,
// opaque bytes in hex, arrays as values separated by commas): every byte
// shows. "" for another label.
std::string pl_rec_text(const char* label, const void* rec);
// Every record of a module's screen sub-files, a line each
// ("CFRM <text>"), in key order (pl_dump prints them after each module's
// sub-files).
void pl_dump_records(FILE* out, EmHeader* em);
int verify_em(EmHeader* em, int kind, const DProc* def, FmArb* saved, const char* lang);
// The application dictionary (APPL) in com.dap_handle, kept open from one
// use to the next and opened anew when its file was replaced (the APPL
// getter then forgets its record): 1, or 0 when it cannot be opened.
int open_dap();
void remove_init_null(EmHeader* em);

// Cached modules (cache_cnt) and the records of the cache (tests).
uint32_t pl_cache_count();
uint32_t pl_cache_records();
// Removes every unused module from the cache (tests, benchmarks).
void pl_flush();

// ---------------------------------------------------- saved files --
int pl_gen_nam(int ignored, const uint32_t stamp[2], char name[8]);
int pl_put(EmHeader* em);
int write_em(FmArb* file, EmHeader* em);
// Appends the checksum record of the records of an open saved file (the
// last step of write_em).
int pl_seal(FmArb* file);
int load_em(const DProc* def, Pcb* pcb);
int purge_em(EmHeader* em, int delete_saved, FmArb* saved);
