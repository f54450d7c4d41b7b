// The message catalogue: message numbers to texts of the user's language.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A caller's text buffer: la_xlate fills len bytes of text.
struct LaText {
  uint16_t len;
  char* text;
};

// Fills the buffer with the message's text ("WARNING - " or "ERROR - " ahead
// of warnings and errors), blank padded; returns the text length and the
// severity (1 warning, 2-3 error). A message not on file gives severity 3 and
// "Unable to translate message: %d (%d,%d)".
int la_xlate(uint32_t msg, LaText* out, int* severity);
// The message text alone (no label, trailing blanks removed); empty when the
// message is not on file.
std::string la_text(uint32_t msg);

// Message texts come from the catalogue's loader once it is up; until then
// only the built-in texts are known.
using LaLookup = bool (*)(uint32_t msg, std::string* text, int* severity);
void la_set_lookup(LaLookup lookup);

// Makes the text the current system-error text (message 200650 shows it) and
// shows it on the message line when a screen is up.
void la_sys_err(const char* text, int flags);
const std::string& la_cur_sys_err();
using LaMsgLine = void (*)(const char* text);
void la_set_msg_line(LaMsgLine show);
