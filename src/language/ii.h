// The instruction interpreter: event-point dispatch, the run loop and the
// small services every statement family shares.
#pragma once

#include <cstdint>

struct FmArb;

// Opens the ELEMENT dictionary file of an application (version "00" for the
// system applications) in the current recovery scope, read-only. The handle,
// or null with the file manager's status left in the current system-error
// text (the caller reports it).
FmArb* ii_open_delem_fi(const char* app, const char* ver);
