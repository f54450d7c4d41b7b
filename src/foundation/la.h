// The message catalogue: message numbers to texts of the user's language.
//
// Six-digit message numbers are both user messages and file statuses; their
// texts live in the MESSAGE file of the runtime application "0LA" (version
// "00"), one record per language and number. The texts are kept as readable
// source in the repository (data/messages/<LANGUAGE>.txt) and loaded into the
// MESSAGE file of a data directory by la_install_messages (files/lafi.h, run
// by `quvo -b`, the step that sets up a fresh data directory). When a data
// directory has no MESSAGE file yet, the catalogue reads the source itself
// into a memory-resident MESSAGE file, so messages are known from the first
// start (and to tests without a data directory).
//
// The MESSAGE file and the message queue files belong to the file manager,
// a layer above this one: it reaches them through the hook table LaFiles,
// which the file manager fills when it starts (fm_serve_foundation). While no
// table is set there is no catalogue (every message is "Unable to translate
// message: N (200340,0)", a look-up hook still answers) and no queue file
// (la_create_fi and la_add_msg fail with their system errors).
//
// Language: the common block's language id; blank means "ENG". A message
// missing in the user's language is looked up in "ENG".
//
// Special numbers: 200650 is the current system-error text (la_sys_err, or
// the text of the last operating-system error); 524000 is the 256-byte
// collating table (copied raw, no label); 760 is the default date-time mask.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/record.h"

struct FmArb;

// A caller's text buffer: la_xlate fills len bytes of text.
struct LaText {
  uint16_t len;
  char* text;
};

// MESSAGE record of "0LA" (268 bytes): key 0 is the language and the number.
struct LaMsgRec {
  rec::Text<3> lang;      // 0  language id
  rec::U8 spare0;         // 3
  rec::U32 number;        // 4  message number (binary key segment)
  rec::U8 severity;       // 8  0 information, 1 warning, 2-3 error
  rec::U8 origin;         // 9  'q' or 'w' (see the source file's header)
  rec::U16 length;        // 10 text length
  rec::Bytes<256> text;   // 12 text, blank padded
};
QV_RECORD(LaMsgRec, 268);
QV_AT(LaMsgRec, number, 4);
QV_AT(LaMsgRec, text, 12);

// Record of a message queue file (la_create_fi, la_add_msg): key and
// severity, the text length and the text (record length = text length + 8).
struct LaQueueRec {
  rec::U32 key;
  rec::U16 severity;
  rec::U16 length;
  // the text follows
};
QV_RECORD(LaQueueRec, 8);
QV_AT(LaQueueRec, severity, 4);
QV_AT(LaQueueRec, length, 6);

// Fills the buffer with the message's text (for a warning, severity 1, the
// common block's warning label and " - " before it; for an error, severity 2
// or 3, the error label), blank padded; returns the text length (at most the
// buffer's) and the severity. A message not on file gives severity 3 and
// "Unable to translate message: %d (%d,%d)" with the number, the status of
// the look-up and the operating-system error. A null buffer only measures.
int la_xlate(uint32_t msg, LaText* out, int* severity);
// The message text alone (no label, trailing blanks removed); empty when the
// message is not on file.
std::string la_text(uint32_t msg);
// Copies the message's text (no label, trailing blanks removed, cut to
// size - 1) into buffer as a zero-terminated string, the buffer zeroed
// first; returns buffer, or null when the message does not exist.
char* la_get_str(char* buffer, size_t size, uint32_t msg);

// A look-up consulted before the catalogue (tests and special texts).
using LaLookup = bool (*)(uint32_t msg, std::string* text, int* severity);
void la_set_lookup(LaLookup lookup);

// Makes the text the current system-error text (message 200650 shows it) and
// shows it on the message line when a screen is up.
void la_sys_err(const char* text, int flags);
const std::string& la_cur_sys_err();
using LaMsgLine = void (*)(const char* text);
void la_set_msg_line(LaMsgLine show);

// ------------------------------------------------------ message queues --

// Creates a message queue file in the scope: a memory file of "0LA" "00",
// database " LM", named by a running eight-hex-digit number, records of
// reclen + 8 bytes keyed by the u32 key and the u16 severity (duplicates
// kept in the order written). The handle, or null after the system error
// "la_create_fi() - create failed". The process runner's call with 79 (its
// "type 79" process message file) is this record length: 87-byte records.
FmArb* la_create_fi(int reclen, int scope);

// Queues a message: count is the number of arguments after it (3 to 12):
// queue, message number, key (u32), then up to nine LaText* parameters that
// replace %1 .. %9 of the text. The text is la_xlate's (with its label), cut
// to the queue's record length; message number 0 takes the text of the
// queue handle's record buffer instead. 1, or 0 after the system error
// "la_add_msg() - bad arg" or "la_add_msg() - fm_write failed".
// The first argument is always the count: callers written as
// la_add_msg(3, file, number, 0) for an error message pass the count 3, and
// the record's severity (error, information) is the message's own, from the
// catalogue. A count of 4 must be followed by a parameter.
int la_add_msg(int count, ...);

// Formats a message centred in the buffer: the message's text (kind 0: the
// text alone; otherwise with its label as la_xlate gives it) with %1 the
// argument, %2 the title and %3 the type name; returns the text length.
int la_center(int kind, LaText* out, uint32_t msg, const char* argument, const char* title,
              const char* type_name);

// Sets the common block's decimal separator, thousands separator and
// currency from the registered source (the current application's record,
// else the system parameters), else the built-in defaults '.', ',' and "$".
using LaSepSource = bool (*)(const char* app, char* dec, char* thou, char currency[4]);
void la_set_sep_source(LaSepSource source);
void la_get_dec_sep_cur();

// --------------------------------------------------------- the catalogue --

// One message of the source.
struct LaSourceMsg {
  uint32_t number;
  int severity;
  char origin;      // 'q' or 'w'
  std::string text;
  int line;         // line of the source file
};
// Reads a message source file. false with the file and line in *error for
// an unreadable file or a malformed line (number, severity 0-3, origin q or
// w, a text of at most 256 bytes, no number twice).
bool la_read_source(const std::string& path, std::vector<LaSourceMsg>* out, std::string* error);
// The directory of the message sources: QUVO_MSG_SRC, else the source tree's
// data/messages.
std::string la_source_dir();

// Forgets the open catalogue (the next look-up opens it again) and the
// memory copy; tests and a changed data directory.
void la_reset();

// The text la_xlate gives (with its label) and the message's severity.
std::string la_labelled(uint32_t msg, int* severity);
// The text with %1 .. %9 replaced by the parameters (a missing one by nothing).
std::string la_substitute(const std::string& text, const std::vector<std::string>& params);

// ------------------------------------------------------------- hooks --
// The catalogue's file and the queue files, kept by the file manager.
struct LaFiles {
  // Opens the catalogue: 1, or 0 with the status and operating-system error
  // of the failed open.
  int (*open)(uint32_t* status, int* os_err);
  // Whether the catalogue opened still reaches its file (false once the file
  // manager has closed it or started again: the next look-up opens it again).
  bool (*is_open)();
  // Reads the message of a language (blank padded to 3): 1 with the record,
  // or 0 with the status and operating-system error.
  int (*read)(std::string_view lang, uint32_t msg, LaMsgRec* out, uint32_t* status, int* os_err);
  // Closes the catalogue (a memory copy is scratched); nothing when none is open.
  void (*close)();
  // la_create_fi's queue file; null when it cannot be created.
  FmArb* (*create_queue)(int reclen, int scope);
  // la_add_msg once its arguments are taken: the parameters' texts, trailing
  // blanks removed. 1, or 0 after the system error.
  int (*add_msg)(FmArb* queue, uint32_t msg, uint32_t key, const std::vector<std::string>& params);
};
// Sets the table (null: none). The table must outlive its use.
void la_set_files(const LaFiles* files);

// Shows a text on the message line; false (nothing shown) while no screen is
// up or no message line is registered.
bool la_show_msg_line(const char* text);
