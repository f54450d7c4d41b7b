// Shared inside the module loader (em.cpp, pl.cpp, plsave.cpp); callers use
// pl.h.
#pragma once

#include <cstdint>

#include "process/emrec.h"
#include "process/pl.h"

// A header for the PCB's process from " PL_POOL" with its own pool and no
// sub-files (em_new adds them).
EmHeader* em_new_header(const Pcb* pcb);
// Creates sub-file s of the module in the base scope (its slot set); null
// after the system error.
FmArb* em_create_sub(EmHeader* em, const EmSub& s);
// Keeps the sub-files (TOC and TRAP too) of a module being freed, emptied,
// for em_new and the compile to take in place of new ones; the slots of
// those kept are cleared, the caller scratches the rest (a few of each slot
// are kept at most). em_spares_forget forgets them (a new engine state:
// their files went with the base scope).
void em_keep_subs(EmHeader* em);
void em_spares_forget();
// The database field of the module's saved files: its language, or blanks.
void em_lang_db(const EmHeader* em, char db[3]);
// The one removal of a module from the cache; 1 when it was there.
int cache_remove(EmHeader* em);
bool em_cached(const EmHeader* em);
// A line of the verification log (QUVO_DBG_VFY), when there is one.
void vfy_log_line(const char* text);
// Whether the module passes the code verifier (em_set_verifier); a refusal
// writes a line to the verification log and the system-error log, naming
// what (the module's origin). 0 while no verifier is set.
int em_code_sound(EmHeader* em, const char* what);
// verify_em that also says whether the module was taken out of use (then
// freed or left to its last holder: the caller may not touch it).
int verify_em_ex(EmHeader* em, int kind, const DProc* def, FmArb* saved, const char* lang, bool* rejected);
// The key descriptors of a file reference (its key record, key_count of
// them) and each key's first segment (in the segment record each key names,
// at the count of segments before it): 1 when the keys lie in their record
// and every key's segments in theirs, else 0 (a saved module is untrusted).
// segs gets key_count entries.
int em_cfi_keys(EmHeader* em, const EmCfi& r, FmKdb** keys, FmSdb* segs[256]);
// Forgets which directories had their stale temporary files removed (a new
// engine state sweeps each directory again before its first save there).
void pl_sweep_reset();
