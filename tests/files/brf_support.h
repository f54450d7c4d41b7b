// Test helpers for the native record files: temporary directories, layouts,
// and records with a unique key and a duplicate key.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "files/brf.h"

struct BrfTempDir {
  std::string path;
  BrfTempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quvo-brf-XXXXXX";
    char buf[512];
    std::snprintf(buf, sizeof buf, "%s", tmpl.c_str());
    char* d = mkdtemp(buf);
    path = d ? d : "";
  }
  ~BrfTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string file(const std::string& name) const { return path + "/" + name; }
};

inline BrfSeg brf_seg(uint16_t off, uint16_t len, uint8_t type = 1, uint8_t order = '+') {
  BrfSeg s;
  s.offset = off;
  s.length = len;
  s.type = type;
  s.order = order;
  return s;
}

// Records of rec_len bytes: a unique key of 20 bytes at 0, a duplicate key
// (4-byte binary) at 20, the rest payload.
inline BrfLayout brf_test_layout(uint16_t rec_len = 200, bool var = false) {
  BrfLayout lay;
  lay.rec_len = rec_len;
  lay.var = var ? 1 : 0;
  BrfKeyDef k0;
  k0.key_no = 0;
  k0.segs.push_back(brf_seg(0, 20));
  BrfKeyDef k1;
  k1.key_no = 1;
  k1.flags = kBrfKeyDup;
  k1.segs.push_back(brf_seg(20, 4, 8));
  lay.keys = {k0, k1};
  return lay;
}

// A record buffer and the read block that points at it (not copyable: the
// block keeps the buffer's address).
struct BrfReader {
  std::vector<uint8_t> buf;
  BrfRead r;
  explicit BrfReader(size_t cap = kBrfMaxRec) : buf(cap) {
    r.buf = buf.data();
    r.cap = uint32_t(cap);
  }
  BrfReader(const BrfReader&) = delete;
  BrfReader& operator=(const BrfReader&) = delete;
  // The record last read.
  std::vector<uint8_t> rec() const { return std::vector<uint8_t>(buf.begin(), buf.begin() + r.len); }
  // Reads the record of an exact key of a tree: 0 or the status.
  uint32_t seek(BrfFile* f, int tree, const void* key, uint32_t n) {
    BtCursor c;
    return brf_seek(f, tree, static_cast<const uint8_t*>(key), n, BrfSeek::Exact, c, r);
  }
  // Reads every record in the order of a tree, calling fn(cursor) after each
  // while it returns true; the last status (200360 after the last record).
  template <class Fn>
  uint32_t scan(BrfFile* f, int tree, Fn fn) {
    BtCursor c;
    uint8_t none = 0;
    uint32_t st = brf_seek(f, tree, &none, 0, BrfSeek::AtLeast, c, r);
    for (; st == 0; st = brf_next(f, tree, c, r))
      if (!fn(c)) break;
    return st;
  }
};

inline void brf_make_rec(uint8_t* rec, size_t len, uint32_t id, uint32_t group, uint32_t salt = 0) {
  std::memset(rec, 0, len);
  char key[32];
  std::snprintf(key, sizeof key, "K%019u", id);
  std::memcpy(rec, key, 20);
  std::memcpy(rec + 20, &group, 4);
  for (size_t i = 24; i < len; ++i) rec[i] = uint8_t(id * 31 + salt * 7 + i);
}
