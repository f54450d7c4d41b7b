// The bootstrap (`quvo -b`): builds the files of the system applications
// "0AD", "0LA", "0DB" and "0SA" in a data directory from SUMMARY texts and
// raw record files, together with the message and keymap steps.
//
// Inputs. The bootstrap reads the output of the generator of the system
// applications' data. Its root is the directory named by QUVO_BOOT_SRC, else
// the build tree's "boot" directory (QUVO_BOOT_DEFAULT, compiled in). Under
// the root, every input lies where the file manager's default path template
// places its identity, with the root in place of the data directory:
//
//   <root>/data/dict/<APP>00/SUMMARY   SUMMARY text of application APP
//                                      (identity: INIT_SRC_PATH(APP, "00",
//                                      "SUMMARY ", 1)); APP is 0AD, 0LA, 0DB, 0SA
//   <root>/port/dict/<APP>00/<NAME>    raw record file of the file NAME listed
//                                      in that SUMMARY (path type 5, the file
//                                      name trimmed; characters other than
//                                      letters, digits, '-' and '_' as '_')
//
// "0AD" is the one design dictionary: its SUMMARY lists the design files and
// its raw files hold the dictionary records of all four system applications,
// copied into each of their dictionaries. The SUMMARY of "0LA" and "0SA" list
// their data files (raw files beside them); that of "0DB" only gives images.
// A missing raw file is an empty file. (bs_input_path gives these paths.)
//
// SUMMARY text: see dd2.h (bld_sum_fi writes it, bs_read_block reads it).
//
// Raw record file (all numbers big-endian):
//   file header  512 bytes: u16 flags at 0; u16 short-length mark at 2,
//                honoured when flag bit 2 is set. Flag bit 4 (decided here):
//                every trailer is a CRC-32C and u32 at 508 is the CRC-32C of
//                header bytes 0-507; the file then ends with an end record.
//   record       12-byte header: byte 0 state (low two bits not zero: not a
//                live record); u16 at 2 the length when the short-length
//                mark is set, else u32 at 4; u32 at 8 the record's ordinal
//                (from 1; not read). Then the record's bytes, then a 4-byte
//                trailer: with flag bit 4 the CRC-32C of the 12-byte header
//                and the record's bytes, else not read.
//   end          a record header of length 0 (with its trailer when flagged).
//                An unflagged file may also end at a record boundary.
// Numbers inside records are big-endian too and are turned into this
// engine's order by the field layout (adjust_rec). A file of organisation 1
// has no header: it is one record image (the record length, or shorter for
// variable-length records) followed by the CRC-32C of its bytes (u32).
// Damage (a cut header, record or trailer, a bad CRC, a record longer than
// the file's, absurd counts) is reported with the file's path and the
// bootstrap fails; nothing is left in the data directory.
//
// What the generator gives (and the bootstrap relies on):
//   - SUMMARY blocks through bld_sum_fi (dd2.h) from the ELEMENT, FILE and
//     INITIAL records of the compiled files; images in raw byte order.
//   - KEY flags come from ELEMENT byte 192: '1' duplicates, '0' unique,
//     blank duplicates with blank keys left out; a file of the catalogue
//     must match its builder ('1' or '0' only, orders '+'), or the ordinary
//     open refuses it with 200630. A key over several fields is a group
//     (entry kind 2, last field at 28-49) right before its members in
//     element-number order. ELEMENT key 4 (bytes 68-75) is unique.
//   - Raw files through RawWriter (flags kRawCrc, kRawShort as wanted), one
//     per file of type 1 with byte 14 '0'; none for an empty file.
//   - SYSDIR records (file SYSDIR of "0SA") for every file made: a file
//     without one is reported (the ordinary open would give 200490).
//   - The design SUMMARY's "INITIAL " raw file is not copied into the
//     dictionary of "0AD" itself (its images come from the SUMMARY).
//
// Run. bs_main (the -b entry) refuses a data directory that holds the
// system applications (a site's System Administration records would be
// lost), builds everything in a temporary directory inside it
// (".boot-<pid>", this user's only; QUVOPATH points there meanwhile), gives
// every entry the data directory's group, and moves the entries in once
// every step succeeded. A fresh directory gets an empty quvo.env of the
// owner (0644), so no member of the group can put one there. A directory
// whose move was cut short carries the marker ".quvo-boot-unfinished" (the
// temporary directory, then the entries to move); a rerun trusts it only
// when it is this user's, no one else may change it and the temporary
// directory it names is there and this user's: then it removes what that
// run moved in and builds again. A marker of this user whose temporary
// directory is gone while every entry it lists is in place, this user's
// and moved there since the marker was, is of a run killed after its move
// ended: the marker goes and the run ends well. A
// move that fails keeps its temporary directory beside the marker, so that
// the next run undoes it. Any other marker removes nothing.
//
// With QUVO_BOOT_AP (and QUVO_BOOT_VER, default "00") it adds that
// application's dictionary to a bootstrapped directory instead, and
// registers it from its registration inputs (bs_register_path): its APPL
// record (title; this version; the dictionary stamp of the add), a
// DATABASE record per database not there yet, a DBXAP record per database
// where there is none, SYSDIR entries of its data files in each database.
// An application added again has its dictionary replaced in one exchange
// and its saved modules removed; its data files stay, and one whose layout
// the new definition changes refuses the add by name (restructure is not
// built). It prints one line per application and a summary ending with the
// next step; each raw file read and the other details go to
// $QUVOPATH/bootstrap.log; failures and warnings to standard error. The exit
// status is 0 only when every step succeeded; a failure says whether the
// directory is as it was.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "files/fm.h"

struct DictField;

constexpr int kExitBootFailed = 16;  // the bootstrap failed; the data directory is as it was

// ------------------------------------------------------------ inputs --
std::string bs_input_root();
// The path of an input: kind 1 the SUMMARY of app, kind 5 the raw file of
// file `name` of that SUMMARY.
std::string bs_input_path(const std::string& root, const char* app, int kind, const char* name);
// The raw file of an application's registration: file APPL, DATABASE or
// DBXAP of application app (QUVO_BOOT_AP) under the root:
// <root>/port/register/<APP>/<FILE>.
std::string bs_register_path(const std::string& root, const char* app, const char* file);

// ---------------------------------------------------------- raw files --
constexpr int kRawHead = 512, kRawRecHead = 12, kRawTrail = 4;
constexpr uint16_t kRawShort = 2, kRawCrc = 4;  // file header flag bits

// Writes raw record files (the generator; tests).
class RawWriter {
 public:
  // flags: kRawShort for the short length form, kRawCrc for CRC trailers.
  // org1: one record image, no header.
  bool open(const std::string& path, uint16_t flags, bool org1, std::string* err);
  // Writes one record; its numbers are turned big-endian by the layout.
  // stmt: a STMT record (its operands' occurrence words too).
  bool put(const uint8_t* rec, int len, const DictField* fields, int nfields, bool stmt, std::string* err);
  bool close(std::string* err);
  ~RawWriter();

 private:
  FILE* f_ = nullptr;
  uint16_t flags_ = 0;
  bool org1_ = false;
  uint32_t count_ = 0;
  std::string path_;
};

// ------------------------------------------------------ byte order --
// The bootstrap's field layout entry: data type, offset, occurrence length,
// occurrence count.
struct BsLayout {
  uint16_t type, offset, length, occurs;
};
// Turns the numbers of a record from big-endian into this engine's order;
// packed signs D become the configured negative nibble, others the positive
// (RawWriter does the reverse).
void adjust_rec(uint8_t* rec, int len, const BsLayout* lay, int count);
// The reverse: this engine's order into the raw (big-endian) form.
void adjust_rec_raw(uint8_t* rec, int len, const BsLayout* lay, int count);
// The same for the occurrence words of a STMT record's operands.
void adjust_stmt(uint8_t* stmt);
void adjust_occ(uint8_t* word);

// ---------------------------------------------------------- bootstrap --
// Counts of one run, and per application what it made.
struct BsAppCount {
  std::string app;
  int files = 0, records = 0;
};
struct BsCounts {
  int files = 0, records = 0, images = 0, failures = 0, warnings = 0;
  std::vector<BsAppCount> apps;
};
// The steps over one SUMMARY (identities as the file manager builds them);
// each returns 1, or 0 after a reported failure (counted).
int bs_load_init(FmFdb* summary, BsCounts* c);
int bs_import(FmFdb* summary, FmFdb* target, BsCounts* c);
int bs_bld_struct(FmFdb* summary, FmFdb* target, BsCounts* c);
// The steps of the system applications, in QUVOPATH as it is (no temporary
// directory, no move); 1 when every step succeeded.
int bs_bootstrap(BsCounts* c);
// The -b entry: checks, temporary directory, messages, keymaps, bs_bootstrap,
// move; returns the exit status.
int bs_main();
// Test hooks: QUVO_TEST_BOOT_KILL=build (after the first file is made), move
// (after the first entry is moved in) or moved (after the temporary
// directory is removed, before the marker) makes the run kill itself there;
// QUVO_TEST_BOOT_FAIL=move fails the move of the second entry.
// Makes bs_main the bootstrap entry (call after la_register and wm_register).
void bs_register();
