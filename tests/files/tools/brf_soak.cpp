// The long crash soak of the native record files: the CTest crash test's
// harness run for many more kills (default 5000) on one growing file.
//
//   build/tests/brf_soak [kills] [max-microseconds-before-kill] [directory]
//
// Every tenth kill falls on a rebuild of the file instead of a writer, every
// twentieth on a reorganisation. Two files take turns, twenty kills each: one
// of variable-length records and one of records of one length.
// Prints progress every 500 kills and the totals; exit status 0 when every
// kill left the file sound and holding exactly the acknowledged operations.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "files/brf_crash.h"

int main(int argc, char** argv) {
  int kills = argc > 1 ? std::atoi(argv[1]) : 5000;
  uint32_t max_us = argc > 2 ? uint32_t(std::atoi(argv[2])) : 5000;
  std::string dir = argc > 3 ? argv[3] : "/tmp";
  std::string files[2];
  std::map<uint32_t, uint32_t> states[2];
  for (int k = 0; k < 2; ++k) {
    files[k] = dir + "/brf-soak-" + std::to_string(getpid()) + (k ? "-fixed" : "");
    BrfFile* f;
    if (brf_create(files[k], brf_crash::layout(k ? brf_crash::kFixed : 0), false, &f)) {
      std::fprintf(stderr, "create: %s\n", brf_error().c_str());
      return 2;
    }
    brf_close(f, false);
  }
  std::mt19937 rng(uint32_t(std::time(nullptr)));
  uint64_t acked = 0, applied = 0;
  auto t0 = std::chrono::steady_clock::now();
  int status = 0;
  for (int i = 1; i <= kills; ++i) {
    const std::string& p = files[(i / 20) % 2];
    std::map<uint32_t, uint32_t>& versions = states[(i / 20) % 2];
    if (i % 10 == 0) {
      bool reorg = i % 20 == 0;
      std::string e = brf_crash::rebuild_round(p, versions, 0, rng, max_us,
                                               reorg ? brf_crash::reorganise : brf_crash::rebuild);
      if (!e.empty()) {
        std::fprintf(stderr, "kill %d (%s): %s (file kept: %s)\n", i, reorg ? "reorganisation" : "rebuild", e.c_str(),
                     p.c_str());
        return 1;
      }
    } else {
      brf_crash::Round r = brf_crash::round(p, versions, rng, max_us);
      if (!r.error.empty()) {
        std::fprintf(stderr, "kill %d: %s (file kept: %s)\n", i, r.error.c_str(), p.c_str());
        return 1;
      }
      acked += r.acked;
      applied += r.inflight_applied;
    }
    if (i % 500 == 0 || i == kills) {
      double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::printf("%d kills, %llu operations acknowledged, %llu unacknowledged operations found done, "
                  "%zu records, %.1f s\n",
                  i, (unsigned long long)acked, (unsigned long long)applied, states[0].size() + states[1].size(), s);
      std::fflush(stdout);
    }
  }
  for (const std::string& p : files) brf_scratch(p);
  return status;
}
