// Output and Inquiry processes run by the real engine over the test
// application op-app (OPA, database OPD): how a report's run ends, and what
// reaches the print directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/quvo_run.h"

namespace fs = std::filesystem;

namespace {

// The data directory with OPA added and its items written, once per test
// program.
class Op : public ::testing::Test {
 protected:
  static TempDir* dir;
  static std::string var, failure;

  static void SetUpTestSuite() {
    dir = new TempDir;
    var = dir->sub("var");
    fs::create_directories(var);
    std::string boot = dir->sub("boot");
    std::string gen = std::string(QUVOGEN_BINARY) + " " + QUVO_DATA_APPS + " " + QUVO_TEST_DIR +
                      "/executors/op-app " + boot + " >" + dir->sub("gen.log") + " 2>&1";
    if (std::system(gen.c_str()) != 0) {
      failure = "the generator failed: " + gen;
      return;
    }
    std::vector<std::string> env{"QUVOPATH=" + var, "QUVO_BOOT_SRC=" + boot};
    QuvoRun b = run_quvo({"-b"}, env);
    if (b.status == 0) {
      env.push_back("QUVO_BOOT_AP=OPA");
      b = run_quvo({"-b"}, env);
    }
    if (b.status != 0) {
      failure = "quvo -b: " + b.out + b.err;
      return;
    }
    b = run_quvo({"-d", "OPD", "-a", "OPA", "-t", "Subroutine", "-p", "OP SETUP"}, {"QUVOPATH=" + var});
    if (b.status != 127) failure = "OP SETUP: " + b.out + b.err;
  }
  static void TearDownTestSuite() { delete dir; }
  void SetUp() override { ASSERT_EQ(failure, ""); }

  TempDir prt;
  QuvoRun output(const std::string& name, const std::string& prt_dir) {
    return run_quvo({"-d", "OPD", "-a", "OPA", "-t", "Output", "-p", name},
                    {"QUVOPATH=" + var, "QUVO_PRT_FI_DIR=" + prt_dir, "TERM=dumb"});
  }
  size_t files(const fs::path& d) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(d, ec); !ec && it != fs::directory_iterator(); ++it) ++n;
    return n;
  }
};
TempDir* Op::dir = nullptr;
std::string Op::var, Op::failure;

TEST_F(Op, WithoutFramesTheRunEndsNormallyAndPrintsNothing) {
  QuvoRun r = output("OP EMPTY", prt.str());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(files(prt.path), 0u);
}

TEST_F(Op, APrintDirectoryThatCannotHoldTheFileEndsTheOwnerWith300580) {
  // Not a directory at all (the suite may run as root, whom no mode stops).
  prt.write("plain", "a file\n");
  QuvoRun r = output("OP LIST", prt.sub("plain") + "/reports");
  EXPECT_TRUE(ended(r, 255, {"ended with completion code 300580"}));
  EXPECT_EQ(files(prt.path), 1u) << "no print file and no settings file";
}

}  // namespace
