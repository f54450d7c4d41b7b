// The file utilities of native record files: verify, analyse, rebuild,
// reorganise (brf.h, brf_reorganise).
//
// Verify reads the whole file under the shared index lock (so other users go
// on reading while it runs) and checks that every index page is sound (check
// sum, kind, level, key order, leaf chain, page accounting), that every index
// entry leads to a live record holding that key, that every live record is
// in every index it belongs to exactly once, that every record's check sum
// holds, and that the free-space index and the header's counts agree with
// the data file.
//
// Rebuild holds the file exclusively, rolls back a change a dead process
// left, reads the data file from its header on and keeps every record whose
// slot and check sum hold. Past a damaged slot it finds the next sound slot
// again (a record slot whose check-sum trailer holds, or a free slot that
// leads to one). Every range it leaves out (damaged slots, a second record
// under a unique key) is named with its position and reason, and its bytes
// are appended to the side file P.lost (BrfLostHdr and the bytes), so that
// nothing is lost for good; the range becomes free space. Then it writes a
// new index from what it kept. A damaged data-file header is restored from
// the copy that the index file keeps (bt.h, BtHdr data_hdr); without a sound
// copy the file cannot be rebuilt. The new index keeps the rebuilt header as
// its copy and takes its place last (brf_finish_rebuild), so a rebuild killed
// at any instant leaves a file that opens: with the old index before that
// rename, with the new one after it (the first opener who may write the file
// takes the header from the copy). What the rebuild changes in the data file
// in place (damaged ranges made free space, records moved) is journaled as a
// change of the old index, which its rename completes: a rebuild killed
// before leaves that change to be rolled back, so the old index never stands
// over changed records.
//
// The run mode of the engine (quvo -fv / -fa / -fr / -fo PATH...) prints a
// report per file on standard output, its summary line last; its exit status
// is 0 only when every file is sound (verify, analyse), was rebuilt with
// nothing left out (rebuild) or was reorganised (reorganise), else 2, and -fa
// says which on its last line. A
// directory stands for every native data file below it (no link followed),
// and ends with a line of its own. A sequential file (a single-record file
// such as PARAM) is named as such and has nothing to check; a file named
// that is no native data file (an index, a journal, any other file) is
// named as such and is an error. A rebuild or reorganisation of a file in use
// names who has it; a reorganisation's own temporary data file (P.rg beside a
// native P) is not taken for a native file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/record.h"

struct BrfCheck {
  std::vector<std::string> problems;
  uint32_t records = 0;     // live records seen
  uint32_t entries = 0;     // index entries seen, all trees
  uint32_t free_slots = 0;  // free slots seen
  uint32_t moved = 0;       // records living away from their home slot
  std::vector<std::pair<std::string, uint32_t>> trees;  // ("key 0", entries), ...
  bool opened = false;      // the file could be opened at all
  bool recovered = false;   // a change a dead process left was rolled back first
  bool pending = false;     // such a change waits for a user who may write the file
  std::string advice;       // what puts the file right ("" when no utility can)
  bool sound() const { return opened && problems.empty(); }
};

struct BrfTreeStats {
  int tree = 0;
  const char* what = "";    // "key", "free space", "write order"
  int key_no = -1;
  uint32_t height = 0, pages = 0, entries = 0;
  double fill = 0;          // used bytes of its pages, 0..1
};

struct BrfAnalysis {
  uint32_t rec_len = 0;
  bool var = false;
  uint32_t key_count = 0;
  uint64_t data_size = 0, index_size = 0;
  uint32_t live = 0, free_slots = 0, moved = 0;
  uint64_t live_bytes = 0, free_bytes = 0, end = 0;
  uint32_t index_pages = 0, free_pages = 0;
  std::vector<BrfTreeStats> trees;
};

// 0 when the check ran (its findings in out), else a file status (brf_error).
uint32_t brfanal_verify(const std::string& path, BrfCheck* out);
uint32_t brfanal_analyse(const std::string& path, BrfAnalysis* out);
// What a rebuild kept and left out.
struct BrfRebuilt {
  uint32_t records = 0;      // records kept
  uint32_t left_ranges = 0;  // ranges left out
  uint64_t left_bytes = 0;
  bool lost_tail = false;    // the data file ended before its records did
  bool unrolled = false;     // a dead change could not be rolled back
  bool header_restored = false;
  std::string side_file;     // where the left-out bytes are ("" when none)
  std::string summary;       // the report's last line
  bool complete() const { return left_ranges == 0 && !lost_tail && !unrolled; }
};

// 0 when a new index was written; lines of what was found and done in log
// (the summary last), the counts in out.
uint32_t brfanal_rebuild(const std::string& path, std::vector<std::string>* log, BrfRebuilt* out = nullptr);

// Reorganises the file (brf_reorganise); a file in use names who has it.
struct BrfReorganised;
uint32_t brfanal_reorganise(const std::string& path, BrfReorganised* out);

// The side file of a rebuild: the data file's path with ".lost". Entries are
// appended, each this header and then len bytes as they lay in the data file.
constexpr uint8_t kBrfLostSlots = 1;    // damaged slots
constexpr uint8_t kBrfLostDupKey = 2;   // a record repeating a unique key
constexpr uint8_t kBrfLostHeader = 3;   // a damaged file header (restored from its copy)
struct BrfLostHdr {
  rec::Text<4> magic;    // "QVLO"
  rec::U16 version;      // 1
  rec::U8 reason;        // kBrfLost...
  rec::U8 spare;
  rec::U32 off;          // where the bytes lay in the data file
  rec::U32 len;          // bytes that follow
  rec::U32 when;         // time of the rebuild
  rec::U32 generation;   // the data file's generation before the rebuild
  rec::U32 sum;          // CRC-32C of the bytes that follow
  rec::Bytes<4> spare2;
};
QV_RECORD(BrfLostHdr, 32);
std::string brfanal_lost_path(const std::string& path);

// The file-utility run mode: mode 'v' verify, 'a' analyse, 'r' rebuild,
// 'o' reorganise (in key order).
// Writes the reports to out; returns the exit status.
int brfanal_main(char mode, const std::vector<std::string>& paths, FILE* out);
