// The window manager in the program entry, as a user meets it: the real
// quvo binary with the bootstrap's keymap step, the keymap check of the
// interactive engine and the keymap utility without a terminal.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/quvo_run.h"

namespace {
bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Entry, BootstrapInstallsTheKeymapsIntoAFreshDataDirectory) {
  TempDir data, home;
  QuvoRun r = run_quvo({"-b"}, {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "installed in " + data.str() + "/keymaps")) << r.out;
  EXPECT_TRUE(std::filesystem::exists(data.sub("keymaps/xterm.ALL.key")));
  EXPECT_TRUE(std::filesystem::exists(data.sub("keymaps/tmux-256color.ALL.key")));
  EXPECT_TRUE(std::filesystem::exists(data.sub("keymaps/linux.ALL.key")));
  EXPECT_TRUE(std::filesystem::exists(data.sub("keymaps/vt100.ALL.key")));
  // The interactive engine then finds the keymap of its terminal.
  r = run_quvo({}, {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str(), "TERM=xterm-256color"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(has(r.err, "Keymap Missing")) << r.err;
}

TEST(Entry, NoKeymapForTheTerminalStopsWithStatus3) {
  TempDir data, home;
  data.write("SA/USER.dat", "");
  std::vector<std::string> env = {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str(), "TERM=xterm"};
  QuvoRun r = run_quvo({}, env);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Keymap Missing for this Terminal/User\n");
  run_quvo({"-b"}, env);
  r = run_quvo({}, {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str(), "TERM=dumb"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Keymap Missing for this Terminal/User\n");
  data.write("keymaps/xterm.ALL.key", "QVKM and then garbage");
  r = run_quvo({}, env);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(has(r.err, "The keymap of terminal xterm for every user is damaged")) << r.err;
  r = run_quvo({}, {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str()});
  EXPECT_EQ(r.status, 15);
  EXPECT_TRUE(has(r.err, "TERM is not set")) << r.err;
}

TEST(Entry, KeymapUtilityNeedsATerminal) {
  TempDir data, home;
  data.write("SA/USER.dat", "");
  QuvoRun r = run_quvo({"-k"}, {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str(), "TERM=xterm"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "cannot use the terminal: standard output is not a terminal")) << r.err;
}
}  // namespace
