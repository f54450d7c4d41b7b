// The message catalogue's files: the MESSAGE file of "0LA" and the message
// queue files of la_create_fi, which the foundation's catalogue
// (foundation/la.h) reaches through its LaFiles hooks.
//
// The catalogue is the data directory's MESSAGE file, else, while a data
// directory has none, a memory-resident MESSAGE file read from the message
// sources (la_source_dir). A queue file is a memory file of "0LA" "00",
// database " LM", named by a running eight-hex-digit number, records of
// reclen + 8 bytes (LaQueueRec, then the text) keyed by the u32 key and the
// u16 severity, duplicates kept in the order written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/la.h"

// A record of a message queue file, read back.
struct LaQueued {
  uint32_t key;
  uint16_t severity;
  std::string text;  // as written, blank padding kept
};
// The records of a message queue file in key order (read through a handle
// of its own, so the caller's position stays); empty for no file. A text
// length past the record is cut to the record.
std::vector<LaQueued> la_queue_read(FmArb* queue);

// The hook table the file manager gives the catalogue (fm_serve_foundation).
extern const LaFiles la_files;

// Describes the MESSAGE file of "0LA" (class 1: the data directory's; class
// 2: a memory-resident copy).
void la_msg_fdb(FmFdb* fdb, int fclass);
// Writes every message of every source file (<LANG>.txt) of the directory
// into the open MESSAGE file, replacing records of the same language and
// number. The number of messages written, or -1 with the reason in *error.
int la_load_messages(FmArb* file, const std::string& dir, std::string* error);
// The set-up step of a data directory: creates the MESSAGE file of "0LA"
// when it is missing and loads the sources into it. 1, or 0 with the reason
// in *error.
int la_install_messages(std::string* error);
// Plugs the catalogue and the conversion layer into the program entry
// (called by main before os_main, after the subsystems whose bootstrap steps
// follow it): the file services of the foundation (fm_serve_foundation), the
// cv_init stage, and the message step of the bootstrap (-b), which loads the
// messages and then runs the bootstrap registered before.
void la_register();
