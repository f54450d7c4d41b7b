// The process runner: runs an invocation to its end, and the defaults,
// hooks and execution security of an invocation.
//
// pi_exec(invocation) fills the invocation's defaults, joins or starts a
// family, finds or builds the PCB, gets its module (pl_get), checks the
// user's right to run it and drives the process inside a recovery scope:
// data areas, files, the type's setup, event point 01, the executor, event
// point 06, clean-up. The completion code comes back in the invocation's
// completion field (20 no default process, 34 execution refused, 4 a module
// that cannot be had or a file that cannot be opened).
//
// Invariants:
//   1. Every PCB lives in the PCB work file ("PI"/"PC", stored by reference)
//      from its creation until its family is discarded; a family is
//      discarded whatever way its head's run ends (a discard is idempotent
//      and runs again when the head's scope returns to pi_exec), so no PCB
//      outlives its family and a reused family number finds no stale PCB.
//   2. A PCB that is not stored (defaults failed, module missing, refused)
//      is freed before pi_exec returns, and gives its module back.
//   3. A top-level run leaves the family counter as it found it: the counter
//      is saved before a family number is taken and restored after the run.
//   4. A SUBPROCESS reuses the PCB that the same process has in its caller's
//      family, unless that PCB is running now: then the process gets a new
//      generation and a PCB of its own.
//   5. An invocation kind outside 0-2 or a process type outside 1-10 ends
//      the run with 4 after the system error, before any table is indexed.
//
// Decisions: the PCB's completion field (invocation copy) holds the running
// result; module, areas and profile copies come from the pool " PIPOOL    "
// of the base scope and are freed by the family discard. The language table
// that marks translated files is the common block's current language: a
// translated file gets the handle languages ("ENG", the language in use).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "files/dictrec.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/record.h"

struct Pcb;
struct FmArb;

// Plugs the runner into the program entry: OsInit::Pi, os_hooks.pi_exec,
// os_hooks.user_start and the USER look-up.
void pi_register();
// Start-up of the runner (the tables, the PCB file, the hook copy); 1, or
// 0 with the reason in ut_dbg. Safe to call again (a new engine state: every
// family left is discarded first).
int pi_init();
void pi_exec(PiInvoc* invocation);

// The pool " PIPOOL    " of the base scope.
MmPool pi_pool();
// Deletes every PCB of the family from the PCB file and frees each
// (pi_free_data); a family without PCBs is left alone.
void discard_family(uint32_t family, int free_memory);
// The family counter (16 bits, from 1) and the PCBs in the PCB file.
uint32_t pi_family_counter();
uint32_t pi_pcb_count();
// The PCB of a key in the PCB file, or null (tests).
Pcb* pi_find_pcb(uint32_t family, const PiInvoc& key, uint16_t generation, uint8_t alternation);

// Key constraints handed to a child. Of the two descriptor layouts the
// 16-byte one is kept: u32 offset into the values, bytes 10-11 the length,
// byte 12 the in-use flag; a compiled child's descriptor also names where
// its value comes from in the caller (`source`: a field of the caller's PCF
// record at src_off, which the change cascade of the PCF verbs gathers
// there; a field of another of the caller's areas, `src` its IRA; or the
// module constant `src`) and whether it is a key field.
constexpr uint8_t kPiCnsFromPcf = 0, kPiCnsFromArea = 1, kPiCnsConst = 2;
struct PiCnsDesc {
  rec::U32 value_at;     // 0
  rec::U16 src_off;      // 4  offset of the value in the caller's PCF record
  rec::U32 src;          // 6  kPiCnsFromArea: the IRA; kPiCnsConst: the constant number
  rec::U16 length;       // 10
  rec::U8 in_use;        // 12
  rec::U8 key;           // 13 1: a key field (a change of it cascades)
  rec::U8 source;        // 14 kPiCnsFromPcf, kPiCnsFromArea, kPiCnsConst
  rec::U8 b15;           // 15
};
QV_RECORD(PiCnsDesc, 16);
QV_AT(PiCnsDesc, src, 6);
QV_AT(PiCnsDesc, length, 10);
QV_AT(PiCnsDesc, in_use, 12);
QV_AT(PiCnsDesc, key, 13);
QV_AT(PiCnsDesc, source, 14);
// The constraint stream control block (type 4) in the PCB.
struct PiCnsScb {
  rec::U32 type;          // 4
  Ref<void> next;         // none
  rec::U32 length;        // the values' total length
  Ref<uint8_t> values;
  rec::U32 used;          // constraints used
  Ref<uint8_t> entries;   // 6-byte entries: identifier, offset in the record, length
};
QV_RECORD(PiCnsScb, 24);
QV_AT(PiCnsScb, entries, 20);
// Copies the key constraints into a record of the process's own file
// (never past record_len).
void pi_set_cns(Pcb* pcb, uint8_t* record, size_t record_len);
// Shows the current database, application and version of the first caller
// outside "0LA" on the status line, then the type's status updater.
void pi_upd_stat(Pcb* pcb);

// Why the start-up invocation never started ("" when it did).
const std::string& pi_start_failure();
// The start-up process could not open a file it must have: `why` says
// which and why; the engine then ends with the process's failure.
void pi_start_file_failure(const Pcb* pcb, const std::string& why);
// The start-up invocation of the command line against the dictionary
// (os_hooks.start_check): an unknown database, application, version or
// process is refused ("database XX does not exist", "no application MYA",
// "no Subroutine ADD UP in MYA (there is an Input process of that name)"),
// as are options the start would drop (-v, -t or -p without -a; -t without
// -p; an application of a database without one); a -v that names another
// existing version than the one the database runs is warned about.
bool pi_start_check(const OsCmd& cmd, std::string* why);
// Whether the dictionary holds the process an invocation names (its
// application, version, type and name).
bool pi_proc_exists(const PiInvoc& v);

// ---------------------------------------------------------- defaults --
// Fills key (a PCB-shaped buffer: process key in key->invoc, language in
// key->lang) from the invocation and its caller; 1, or 0 when no default
// process exists.
int dflt_proc(Pcb* key, PiInvoc* invocation, Pcb* parent);
bool db_required(const char* app);
// Applies a process hook of type 3 for (key, database, signed-on user): 1
// when one was applied.
int hook_proc(Pcb* key, int hook_type, char* db);
// Loads the active hooks of the signed-on user into the hook copy.
void fill_mhook();
// The language of the run ("DEF LANG ID" properties of the user, the
// database and application, the database, the system; a first character
// blank, '0' or NUL is unset); the parent's next language is used once.
void dflt_lang(Pcb* key, Pcb* parent, const char* db);

// ---------------------------------------------------------- security --
// 1 when the user may execute the PCB's process (the profile goes into the PCB).
int chk_exec_secr(Pcb* pcb, Pcb* parent);
// 1 when the security code is allowed for the PCB's process.
int pi_chk_secr(int32_t code, Pcb* pcb);
// Whether the profile allows code c: bit c % 8 of byte 64 + c / 8; bits
// beyond the record are not set.
bool pi_prof_bit(const DProfile* profile, int32_t code);

// -------------------------------------------------------- properties --
// Named values of the system, a database or an application, kept in
// ATRIBUTE files (406-byte records keyed by object kind, object name and
// property); an all-blank value is an absent property. One file per
// (application, version, database) is opened at its first use and stays
// open in the property cache "PI"/"PR"; a missing file gives no handle.
// pi_prop_reset starts the cache afresh (pi_init) and forgets the default
// languages.
void pi_prop_reset();
// The file of the owner: "0SA"'s own for "0SA", the application's with a
// blank or null database, else the database's file of the application.
FmArb* pi_get_prop_arb(const char* app, const char* ver, const char* db, int scope);
// value: 256 bytes, blank first; 1 when the property exists.
int pi_get_prop(FmArb* h, const char* kind, const char* name, size_t len, const char* prop, char value[256]);
// An all-blank value deletes; a new value is written, an old one rewritten.
int pi_put_prop(FmArb* h, const char* kind, const char* name, size_t len, const char* prop, const char* value);
// A missing property counts as deleted.
int pi_del_prop(FmArb* h, const char* kind, const char* name, size_t len, const char* prop);
// Renames the object of the properties from prop on, each written under the
// new name before its old record is deleted; 0 when a write or delete fails
// (a property whose write failed keeps its old name); failed (14 bytes,
// when given) then receives the name of the property that did not move.
int pi_move_prop(FmArb* h, const char* kind, const char* new_name, size_t len, const char* prop,
                 const char* old_name, char* failed = nullptr);
// A property of "0SA" 00: the first out_len bytes of the value, blanks when
// absent; 1 when found.
int pi_get_sa_prop(const char* kind, const char* name, size_t len, const char* prop, char* out, size_t out_len);

// ----------------------------------------------------------- getters --
// Single records of System Administration with a one-record memory:
//   pi_get_ddb     the last id and whether it was found; a blank id: null
//   pi_get_ddbxap  the last pair; a failed read forgets it
//   pi_get_dprof   the last pair and whether it was found; a missing
//                  (profile, database) gives (profile, blank database)
const DDatabase* pi_get_ddb(const char* db);
const DDbxap* pi_get_ddbxap(const char* db, const char* app);
const DProfile* pi_get_dprof(const char* profile, const char* db);
void pi_getx_reset();
