// Test entry: a fresh common block, and system errors never wait for a person.
#include <gtest/gtest.h>

#include <cstdlib>

#include "files/fm.h"
#include "foundation/bi.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  bi_init_com();
  // The file services of the foundation, as the program entry registers them
  // (la_register): messages are known before the file manager starts.
  fm_serve_foundation();
  // The bootstrap inputs of the tests that run quvo -b for its message and
  // keymap steps (a test that bootstraps applications names its own).
  setenv("QUVO_BOOT_SRC", QUVO_TEST_DIR "/dictionary/boot-min", 0);
  return RUN_ALL_TESTS();
}
