// Single records of System Administration and of an application's
// dictionary, read through getters that remember the last record read, and
// the file-error exit of a process.
//
// Each getter returns its own buffer (valid until its next call) or null;
// a getter opens the file, reads by key and closes it, except the APPL getter,
// which reads the application dictionary the common block keeps open
// (open_dap), and the PARAM getter, which keeps each application's PARAM
// file open in the base scope. Memory per getter:
//   pi_get_dusr      the last user id; a failed read forgets it
//   pi_get_dap       the last two applications and versions, each while the
//                    APPL file's change count stays as at its read (a native
//                    file's: of another back end, none); a failed read, or
//                    the APPL file found replaced (open_dap), forgets it
//   pi_get_dparm     none: read at every call (through the kept handle)
//   pi_get_dsysparm  kept after the first successful read
// pi_getters_reset forgets every remembered record and closes the kept
// PARAM handles (a new engine state, or a dictionary changed under a test).
#pragma once

#include <cstdint>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
#include "foundation/record.h"

struct Pcb;

const DUser* pi_get_dusr(const char* user);
const DAppl* pi_get_dap(const char* app, const char* ver);
const DParam* pi_get_dparm(const char* app, const char* ver);
// The same read within the round of looks already begun (files/fmkept.h):
// for the compile, which follows the loader's read of its process's
// definition and sees the dictionary as that round found it.
const DParam* pi_get_dparm_in_round(const char* app, const char* ver);
const DSysparm* pi_get_dsysparm();
void pi_getters_reset();
// Forgets the APPL getter's records (open_dap found the file replaced).
void pi_dap_forget();

struct DElem;
// Every ELEMENT record of `file` in the ELEMENT dictionary of app and ver
// (in the dictionary's key order); false when that dictionary cannot be
// opened.
bool pi_file_elems(const char* app, const char* ver, const rec::Text<8>& file, std::vector<DElem>* out);

// The record of the file-error exit (1,265 bytes, blank filled), shown by
// the runtime's error display (services.h rt_err).
struct PiFiErr {
  rec::Text<1> blank;          // 0
  rec::Text<3> file_app;       // 1    "---" for runtime files, the source application for "0AD"
  rec::Text<8> file_name;      // 4
  rec::Text<3> db;             // 12   blank for "0AD", "0LA" and "0SA" files
  rec::Text<3> proc_app;       // 15
  rec::Text<30> proc_name;     // 18
  rec::Text<1> proc_type;      // 48
  rec::Text<608> msg_text;     // 49   the text of the message
  rec::Text<608> status_text;  // 657  the text of the status (blank for 0)
};
QV_RECORD(PiFiErr, 1265);
QV_AT(PiFiErr, msg_text, 49);
QV_AT(PiFiErr, status_text, 657);

// Fills the record for a file (its identity), the PCB's process, a message
// and a status.
void pi_fi_err_rec(PiFiErr* rec, const Pcb* pcb, const FmFdb* file, uint32_t msg, uint32_t status);
// The file-error exit: shows the record through rt_err (with the parent
// PCB), sets the PCB's result to 4 and unwinds the innermost scope with 4.
[[noreturn]] void pi_fi_err(Pcb* pcb, const FmFdb* file, uint32_t msg, uint32_t status);
