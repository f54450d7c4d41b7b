// Test helpers of the dictionary tests: a temporary data directory that
// QUVOPATH names while a test runs.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "files/fm.h"

struct DictTempDir {
  std::string path;
  std::string old;
  bool had = false;
  DictTempDir() {
    const char* base = getenv("TMPDIR");
    char buf[512];
    std::snprintf(buf, sizeof buf, "%s/quvo-dict-XXXXXX", base && *base ? base : "/tmp");
    char* d = mkdtemp(buf);
    path = d ? d : "";
    if (const char* q = getenv("QUVOPATH")) {
      had = true;
      old = q;
    }
    setenv("QUVOPATH", path.c_str(), 1);
    fms_init();
  }
  ~DictTempDir() {
    fm_shutdown();
    if (had) setenv("QUVOPATH", old.c_str(), 1);
    else unsetenv("QUVOPATH");
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};
