// Test entry: a fresh common block, and system errors never wait for a person.
#include <gtest/gtest.h>

#include "foundation/bi.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  bi_init_com();
  return RUN_ALL_TESTS();
}
