// The SUMMARY text of compiled files: bld_sum_fi writes it, SumReader reads
// it back (the bootstrap).
//
// Format (one record a line, each ended by a newline):
//   "1"                                   first line, written once
//   per compiled file:
//   FILE line     "FILE:  %8.8s %d %d %1.1s %d %1.1s %d %d": name; file type
//                 (FILE byte 12); organisation (13); byte 14 as a digit;
//                 record length; variable flag (18) as a digit; key count;
//                 number of data elements
//   per key k:    "KEY:  %22.22s %1.1s %d %d %d": key element's name; order
//                 character; key number; flags (1 when the element's byte
//                 192 is '1', 17 when blank, else 0; + 4 for key 0; + 2 for
//                 key kind 2); segment count (FILE byte 181 + k)
//                 then its segment lines
//                 "SEGMENT:  %22.22s %1.1s %d %d %d %d": element name, order
//                 character, field number, offset, length, segment type
//                 (1 character data, 8 binary)
//   per data element (entry kinds 2-5 skipped, ELEMENT key 2 order):
//                 "%22.22s %d %d %d %d": name; occurrence count; data type;
//                 offset; occurrence length
//   the INITIAL image, then the NULL image: two upper-case hex digits a
//                 byte, 40 bytes (80 digits) a line, the last line the rest.
//                 The images are in the raw files' byte order (big-endian
//                 numbers, packed signs C and D: adjust_rec_raw of bs.h by
//                 the field lines); the reader turns them back.
// A segment of a group key is one line per occurrence of every member; a
// binary date of 8 bytes is two segments of 4 (field number and field number
// + 1, offset and offset + 4). Occurrence i of a group member that is such a
// date takes field numbers + 2i and + 2i + 1, both within its own 8 bytes
// (offset + 8i and + 8i + 4): a key never repeats the first occurrence's
// second half.
//
// Writer. bld_sum_fi appends one file's block when DD_SUMMARY_FILE is set
// (or the context names a path). The append holds an fcntl write lock on
// the file's first byte (uio_lock: a wait for it reports the holder and
// ends when the user cancels it), so two compiles never interleave their
// lines; the block is built first and written in one piece. Byte 14 and the
// variable flag are written as digits (a blank or other byte as 0), so the
// reader can take them back.
//
// Reader. SumReader is stricter than the patterns it replaces: a line must
// hold exactly its items; numbers must lie in range (key count 0-17, record
// length 1-32,767, segments and fields inside the record, segment count
// 1-64, occurrences at least 1, data types 0-16); every dump line must be
// whole hex digits of its expected length. Any fault is reported as
// "<path>:<line>: <what>" and ends the reading. A FILE line is recognised by
// its tag; a file that ends where a FILE line could begin ends normally, a
// file cut inside a block is damage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"

// The context of one compiled application and version.
struct DdCtx {
  char app[4] = "   ";
  char ver[3] = "  ";
  FmArb* elem = nullptr;   // ELEMENT file of the application
  FmArb* init = nullptr;   // INITIAL file of the application
  std::string summary;     // path of the SUMMARY text; empty: the dictionary's
                           // SUMMARY file, only when DD_SUMMARY_FILE is set
  std::string error;       // why bld_sum_fi failed
};

// Appends the summary of one compiled file. 1 written; 0 not switched on or
// the file cannot be opened (skipped); -1 a read failure of ELEMENT or
// INITIAL, a bad element, or a SUMMARY name that is (or leads through) a
// symbolic link, names no regular file or has a second name (a hard link)
// (ctx->error says which; nothing is appended, nothing is written elsewhere).
int bld_sum_fi(DdCtx* ctx, const DFile* file);

// One block of a SUMMARY text.
struct SumSeg {
  std::string name;
  char order;
  int field, offset, length, type;
};
struct SumKey {
  std::string name;
  char order;
  int key_no, flags;
  std::vector<SumSeg> segs;
};
struct SumField {
  std::string name;
  int occurs, type, offset, length;
};
struct SumBlock {
  std::string name;        // 8 characters, blank padded
  int ftype = 0, org = 0, b14 = 0, rec_len = 0, var = 0;
  std::vector<SumKey> keys;
  std::vector<SumField> fields;
  std::vector<uint8_t> init, null;
  int line = 0;            // line of the FILE line
};

class SumReader {
 public:
  // Opens the text and checks its header; false with error.
  bool open(const std::string& path);
  // The same over a text in memory, named name in errors (the writer's
  // check of what it is about to append).
  bool open_text(const std::string& text, const std::string& name);
  // 1 a block, 0 the end, -1 damage (error says where).
  int next(SumBlock* b);
  const std::string& error() const { return error_; }
  ~SumReader();

 private:
  bool line(std::string* out);
  int fail(const char* what);
  bool header();
  FILE* f_ = nullptr;
  std::string path_, error_, text_;
  int lineno_ = 0;
};

// The text of one block as bld_sum_fi writes it (tests and tools).
std::string sum_block_text(const SumBlock& b);
