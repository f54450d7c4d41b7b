// The native back end behind the record interface: the contract suite, and
// what only disk files shared between processes show.
#include <gtest/gtest.h>

#include "files/brf.h"
#include "files/fm_contract.h"

namespace {
FmBackendParam native_param() {
  FmBackendParam p;
  p.name = "native";
  p.fclass = FM_CLASS_DISK;
  p.memory = false;
  p.teardown = [] { EXPECT_EQ(brf_open_files(), 0u); };
  return p;
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(Native, FmContract, ::testing::Values(native_param()),
                         [](const auto& i) { return std::string(i.param.name); });
