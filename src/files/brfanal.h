// The file utilities of native record files: verify, analyse, rebuild.
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
// left, reads the data file from its header on, keeps every sound record,
// frees damaged ones (and reports them), and writes a new index from what it
// kept. It needs a sound data-file header (the key descriptors live there).
//
// The run mode of the engine (quvo -fv / -fa / -fr PATH...) prints a report
// per file on standard output; its exit status is 0 only when every file is
// sound (verify, analyse) or was rebuilt (rebuild).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct BrfCheck {
  std::vector<std::string> problems;
  uint32_t records = 0;     // live records seen
  uint32_t entries = 0;     // index entries seen
  bool opened = false;      // the file could be opened at all
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
// 0 when a new index was written; lines of what was found and done in log.
uint32_t brfanal_rebuild(const std::string& path, std::vector<std::string>* log);

// The file-utility run mode: mode 'v' verify, 'a' analyse, 'r' rebuild.
// Writes the reports to out; returns the exit status.
int brfanal_main(char mode, const std::vector<std::string>& paths, FILE* out);
