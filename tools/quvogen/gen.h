// The generator: the system applications' sources (data/apps, srcform.h)
// into the bootstrap's input (dictionary/bs.h).
//
// One design dictionary. The dictionary records of all four system
// applications (FILE, RECORD, ELEMENT, INITIAL, BITMAP, PARAM, PROCESS and
// the screen records) form one set, written as the raw files of "0AD" and
// copied by the bootstrap into each system application's dictionary. So a
// name (file, field, work field, process) belongs to one application only,
// and there is one PARAM.
//
// What is made, for each application APP (0AD, 0DB, 0LA, 0SA):
//   data/dict/APP00/SUMMARY   one block per file the application defines,
//                             written by the engine's own bld_sum_fi
//   port/dict/APP00/NAME      raw records of each disk file of APP (for 0AD:
//                             the design dictionary of all four)
// Another application among the sources (a test application, added to a
// data directory with QUVO_BOOT_AP) joins the design dictionary; the
// bootstrap makes no data files of it, so its files keep no records.
// Steps: every text is read and checked; the files' layouts are made
// (declared files from the engine's declarations and catalogue keys, the
// others from their definitions); their design records (RECORD, and FIELD
// and DOMAIN from each field: its element, a domain of its own) are written
// into memory-resident files, and the dictionary compiler (dd_cmpl,
// dictionary/dd1.h) builds the ELEMENT, FILE, INITIAL and BITMAP records from
// them, file by file and then the work fields; every file's compiled layout
// is checked against the one the generator took (a declared file: the
// engine's declaration and the catalogue's keys); then the processes'
// records, the records texts and the SYSDIR entries (a duplicate key is an
// error at its source line); bld_sum_fi writes the SUMMARY texts; the raw
// files are written from the memory files in key order. All of it goes to
// a directory beside the output, which replaces the output only when every
// step succeeded: an error leaves the output as it was; a compiler message
// of type error is an error at the file's definition (a binary field off
// its alignment is not: the definition puts it there).
//
// Decided here:
//   - Stamps: every stamp the sources do not give is one fixed value, the
//     host time of 2026-01-01 00:00 (never all ones, which would mean "must
//     compile"); the compiler's stamps (compile, structure, work fields)
//     count up from it a hundredth at a time, in compile order, so the same
//     sources give the same bytes; the design files of "0AD" keep the fixed
//     structure stamps (0, N) the compiler gives them. A process is the
//     exception: its definition stamps are its own (dict_proc_stamp: that
//     day, a time of day from its type and name, moved on past a stamp
//     another process of its application has), since its saved module
//     file is named by them.
//   - Element names: a field of a source-defined file is named as written;
//     a field of a declared file is "<FILE>_<MEMBER>" in upper case
//     ("PROCESS_PROC_NAME", "USER_ID"): no blank, so never the name of a
//     field people named ("USER ID"). The design records give the keys as
//     the compiler takes them, so it builds the very key descriptors of the
//     catalogue: a key of one field marks that field; a key of several
//     fields, or one out of number order, is a group header "<FILE> KEY<k>"
//     after the data fields over synonyms "<FILE> K<k>S<j>" of its fields;
//     a field a segment splits is a group header over pieces
//     "<FILE> P<offset>" (the bytes outside the segments alpha); several
//     fields one segment covers are substrings of a piece over them. Their
//     numbers (and so identity stamps) run over the whole dictionary.
//   - Domains: a number without a mask of its own takes the mask the engine
//     shows such a number by ('0' at the units), so it shows as before; a
//     binary narrower than its digits takes its width as domain ranges.
//   - Area numbers: the compiler's, class 0 (no share codes), in compile
//     order: the files (application, then definition order; FILE 100 and
//     104), then the work fields by name; BITMAP page 1 of class 0.
//   - Raw files: variable-length files in the short length form, the others
//     in the long form; CRC-32C trailers on every file; none for a file
//     without records (a single-record file without one gets its defaults).
//     Numbers are turned big-endian by the compiled data fields, the layout
//     the SUMMARY gives the bootstrap. The records texts are encoded over
//     the generator's own images (src_init), as before.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "srcform.h"

namespace qg {

// What was generated for one file (tests compare the bootstrap's result
// with it): its application, name, class, its records in key order (the
// engine's byte order) and its INITIAL and NULL images as compiled.
struct GenFile {
  std::string app, name;
  int fclass = 1;
  std::vector<std::vector<uint8_t>> records;
  std::vector<uint8_t> init, null;
  // the images the generator takes from the sources (the records texts are
  // encoded over src_init; the compiler's init and null come from the same
  // definitions)
  std::vector<uint8_t> src_init, src_null;
  // each of its fields as the element it describes (ELEMENT's layout): the
  // design the compiler was given, before numbers, areas, keys and stamps
  std::vector<std::vector<uint8_t>> fields;
  // its layout: organisation, record length, variable length, and its keys
  // (number, duplicates, segments of offset, length and FM_SEG_ type)
  struct Key {
    int no = 0;
    bool dup = false;
    std::vector<std::array<int, 3>> segs;
  };
  int org = 2, rec_len = 0;
  bool var = false;
  std::vector<Key> keys;
};

// Generates from the sources under src_root into out_dir. True when written;
// false with the errors in errs (out_dir unchanged). With `made`, also what
// was made, file by file.
bool generate(const std::string& src_root, const std::string& out_dir, Errors* errs,
              std::vector<GenFile>* made = nullptr);
// The same over several roots (the system applications' and, say, a test
// application's): one design dictionary of all their applications.
// With `work_fields`, each work field as the element it describes.
bool generate(const std::vector<std::string>& src_roots, const std::string& out_dir, Errors* errs,
              std::vector<GenFile>* made = nullptr, std::vector<std::vector<uint8_t>>* work_fields = nullptr);

// The design records of a generated element, from which the dictionary
// compiler (dictionary/dd1.h) builds it again: its FIELD record and, for a
// data field, a DOMAIN of its own (named as the element) that gives its
// storage. A binary field narrower than its digits takes its width as
// domain ranges; a date's initial value is its universal date text; a
// substring's offset counts from its base (`base_offset`).
struct DesignRecs {
  std::vector<uint8_t> field, domain;  // DField, DDomain; domain empty but for data fields
  std::string why;                     // why the field has none (its mask disagrees with its form)
};
DesignRecs design_records(const void* element, int base_offset);

// The command: 0 written; 1 after printing the errors on standard error.
int gen_main(const std::vector<std::string>& src_roots, const std::string& out_dir);

}  // namespace qg
