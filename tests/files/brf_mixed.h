// Test helpers for damaged native record files: whole files as bytes, and a
// file of variable or fixed records with free slots and moved records.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "files/brf.h"
#include "brf_support.h"

using BrfBytes = std::vector<uint8_t>;

inline BrfBytes brf_slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return BrfBytes(std::istreambuf_iterator<char>(in), {});
}
inline void brf_spit(const std::string& p, const BrfBytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// How brf_build_mixed fills its file: n records of 24 up to
// 24 + insert_span - 1 bytes (200 each when not var); then, of every `every`
// in key order, the first is removed and the second rewritten (24 up to 583
// bytes, or 200).
struct BrfMix {
  bool var = true;
  uint32_t insert_span = 500;
  int every = 5;
};

// The file of `mix` from the random sequence `seed`; the records kept, by
// unique key.
inline std::map<std::string, BrfBytes> brf_build_mixed(const std::string& p, uint32_t seed, int n, BrfMix mix) {
  BrfFile* f;
  EXPECT_EQ(brf_create(p, mix.var ? brf_test_layout(600, true) : brf_test_layout(200), false, &f), 0u);
  std::mt19937 rng(seed);
  std::map<std::string, BrfBytes> recs;
  std::map<std::string, uint32_t> rids;
  for (int i = 0; i < n; ++i) {
    BrfBytes r(mix.var ? 24 + rng() % mix.insert_span : 200);
    brf_make_rec(r.data(), r.size(), uint32_t(i), rng() % 7, rng());
    uint32_t rid;
    EXPECT_EQ(brf_insert(f, r.data(), uint32_t(r.size()), &rid), 0u);
    std::string k(r.begin(), r.begin() + 20);
    recs[k] = r;
    rids[k] = rid;
  }
  int i = 0;
  for (auto it = rids.begin(); it != rids.end(); ++i) {
    if (i % mix.every == 0) {
      EXPECT_EQ(brf_remove(f, it->second), 0u);
      recs.erase(it->first);
      it = rids.erase(it);
    } else if (i % mix.every == 1) {
      BrfBytes r(mix.var ? 24 + rng() % 560 : 200);
      std::memcpy(r.data(), recs[it->first].data(), 24);
      for (size_t j = 24; j < r.size(); ++j) r[j] = uint8_t(rng());
      EXPECT_EQ(brf_update(f, it->second, r.data(), uint32_t(r.size())), 0u);
      recs[it->first] = r;
      ++it;
    } else {
      ++it;
    }
  }
  brf_close(f, false);
  return recs;
}
