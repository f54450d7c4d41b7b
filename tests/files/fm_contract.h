// The record-interface contract suite, run once per back end.
//
// The suite (test_fm_contract.cpp) is written against fm.h only. A back end
// joins it from its own test file in tests/files/ with:
//
//   static FmBackendParam native_param() {
//     FmBackendParam p;
//     p.name = "native";
//     p.fclass = FM_CLASS_DISK;        // files are created with this class
//     p.setup = [] { ... };            // after QUVOPATH points at a fresh directory
//     p.teardown = [] { ... };
//     return p;
//   }
//   INSTANTIATE_TEST_SUITE_P(Native, FmContract, ::testing::Values(native_param()),
//                            [](const auto& i) { return std::string(i.param.name); });
//
// Each test runs with QUVOPATH set to a fresh temporary directory (removed
// afterwards), inside a recovery scope of its own. Files of class 1 are
// created with FM_OPT_NO_SYSDIR, so no SYSDIR entry is needed.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "files/fm.h"

struct FmBackendParam {
  const char* name = "memory";
  uint8_t fclass = FM_CLASS_MEMORY;
  bool memory = true;          // by-reference records, fast reads and MADDR apply
  void (*setup)() = nullptr;   // before each test
  void (*teardown)() = nullptr;
};

inline void PrintTo(const FmBackendParam& p, std::ostream* os) { *os << p.name; }

class FmContract : public ::testing::TestWithParam<FmBackendParam> {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string dir_;
};
