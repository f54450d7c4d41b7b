// Test helper: the Output and Inquiry tests' data directory (the test
// application op-app, OPA, database OPD, with its items and sales written),
// an Output process run by the real engine into a private print directory,
// and the golden reports they are compared with.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/quvo_run.h"

namespace opfx {

inline size_t files(const std::filesystem::path& d) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(d, ec); !ec && it != std::filesystem::directory_iterator(); ++it)
    ++n;
  return n;
}

// The data directory with OPA added and its items written, once per test
// program.
class Op : public ::testing::Test {
 protected:
  static inline TempDir* dir = nullptr;
  static inline std::string var, failure;

  static void SetUpTestSuite() {
    dir = new TempDir;
    var = dir->sub("var");
    std::filesystem::create_directories(var);
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
};

// A golden report: '#' lines first (comments), then the print file's bytes
// with \f for a form feed, \b a backspace and \\ a backslash; the file's
// last line feed is not part of it.
inline std::string golden(const std::string& name) {
  std::ifstream f(std::string(QUVO_TEST_DIR) + "/executors/op-golden/" + name);
  std::string line, text;
  bool head = true;
  while (std::getline(f, line)) {
    if (head && !line.empty() && line[0] == '#') continue;
    head = false;
    text += line + "\n";
  }
  if (!text.empty()) text.pop_back();
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    out += c == 'f' ? '\f' : c == 'b' ? '\b' : c;
  }
  return out;
}
inline std::string slurp(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace opfx
