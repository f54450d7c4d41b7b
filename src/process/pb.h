// Process manager: the process definitions of the dictionary.
#pragma once

#include <cstdint>

#include "files/dictrec.h"

// Reads the PROCESS record of the process `name` (30 characters, blank
// padded) of type `type` from the dictionary of application `app`, version
// `ver` (version "00" for the system applications) into *out (may be
// null). Nonzero when it exists; 0 when it does not, or when the dictionary
// cannot be opened (the file manager's status left in the current
// system-error text). flags: kPbMemory when the dictionary is held in
// memory-resident files (generated processes, tests), else 0.
constexpr int kPbMemory = 1;
int pb_get_dproc(const char* app, const char* name, const char* ver, int type, DProc* out, int flags);
