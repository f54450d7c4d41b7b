// The window manager in the program entry, as a user meets it: the real
// quvo binary with the bootstrap's keymap step, the keymap check of the
// interactive engine at a terminal and the keymap utility without one.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/quvo_run.h"
#include "support/tmux.h"

namespace {
bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Entry, BootstrapInstallsTheKeymapsIntoAFreshDataDirectory) {
  TempDir data, home;
  QuvoRun r = run_quvo({"-b"}, {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str()});
  EXPECT_EQ(r.status, 0) << r.err;
  std::ifstream log(data.sub("bootstrap.log"));  // the bootstrap's details
  std::string details((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(has(details, "installed in " + data.str() + "/keymaps")) << details;
  EXPECT_TRUE(has(r.out, " keymaps, ")) << r.out;
  EXPECT_TRUE(std::filesystem::exists(data.sub("keymaps/xterm.ALL.key")));
  EXPECT_TRUE(std::filesystem::exists(data.sub("keymaps/tmux-256color.ALL.key")));
  EXPECT_TRUE(std::filesystem::exists(data.sub("keymaps/linux.ALL.key")));
  EXPECT_TRUE(std::filesystem::exists(data.sub("keymaps/vt100.ALL.key")));
  // The interactive engine then finds the keymap of its terminal.
  r = run_quvo({}, {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str(), "TERM=xterm-256color",
                     "QUVO_TEST_NO_PI=1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(has(r.err, "Keymap Missing")) << r.err;
}

// At a terminal (the engine in tmux) the terminal's type and keymap are
// checked at the start, before the terminal is taken.
TEST(Entry, NoKeymapForTheTerminalStopsWithStatus3) {
  std::string root, data;
  ASSERT_EQ(tmuxrun::make_engine_dir("quvo-entry", &root, &data), 0);
  std::string tag = "quvo-entry-" + std::to_string(getpid()) + "-";
  // A terminal type without any keymap: the text, then what and how.
  tmuxrun::EngineResult r = tmuxrun::run_engine(root, data, tag + "1", "TERM=ansi", "");
  EXPECT_EQ(r.status, 3);
  std::string user = r.err.substr(r.err.find(" and user ") + 10);
  user = user.substr(0, user.find(';'));
  EXPECT_FALSE(user.empty());
  EXPECT_EQ(r.err, "Keymap Missing for this Terminal/User\nThere is no keymap for terminal type ansi and user " + user +
                       "; record one with: " + QUVO_BINARY + " -k\n");
  // A terminal that cannot run full-screen: said so, and what to set.
  const std::string dumb =
      "the terminal type TERM=dumb cannot run full-screen\n"
      "(its terminfo entry has no cursor addressing): set TERM to the type of your\n"
      "terminal (xterm-256color, for example)\n";
  r = tmuxrun::run_engine(root, data, tag + "d", "TERM=dumb", "");
  EXPECT_EQ(r.status, 15);
  EXPECT_EQ(r.err, "QUVO startup failed because of the following\nwm_init failed: " + dumb + "startup error: 15\n\n");
  {
    TempDir home;
    QuvoRun k = run_quvo({"-k"}, {"QUVOPATH=" + data, "QUVO_TEST_HOME=" + home.str(), "TERM=dumb"});
    EXPECT_EQ(k.status, 1);
    EXPECT_EQ(k.err, "quvo: " + dumb);
  }
  std::ofstream(data + "/keymaps/xterm.ALL.key") << "QVKM and then garbage";
  r = tmuxrun::run_engine(root, data, tag + "2", "", "");
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(has(r.err, "The keymap of terminal xterm for every user is damaged")) << r.err;
  EXPECT_TRUE(has(r.err, "Keymap Missing for this Terminal/User\n")) << r.err;
  // No TERM, or a TERM without a terminfo entry: said so, not a missing keymap.
  r = tmuxrun::run_engine(root, data, tag + "3", "TERM=", "");
  EXPECT_EQ(r.status, 15);
  EXPECT_TRUE(has(r.err, "TERM is not set")) << r.err;
  r = tmuxrun::run_engine(root, data, tag + "4", "TERM=no-such-terminal", "");
  EXPECT_EQ(r.status, 15);
  EXPECT_TRUE(has(r.err, "the terminal type TERM=no-such-terminal has no terminfo entry")) << r.err;
  EXPECT_FALSE(has(r.err, "Keymap Missing")) << r.err;
  tmuxrun::sh("rm -rf " + tmuxrun::q(root));
}

TEST(Entry, KeymapUtilityNeedsATerminal) {
  TempDir data, home;
  run_quvo({"-b"}, {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str()});
  QuvoRun r = run_quvo({"-k"}, {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str(), "TERM=xterm"});
  EXPECT_TRUE(ended(r, 1, {"cannot use the terminal: standard output is not a terminal"}));
}
// Another user of the data directory: may not record the keymap of every
// user, and is told before any key is asked for when the store is closed to
// them.
TEST(Entry, KeymapUtilityChecksWhoAndWhereFirst) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to run as another user";
  TempDir data, home;
  run_quvo({"-b"}, {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str()});
  chmod(data.str().c_str(), 0755);
  chmod(home.str().c_str(), 0755);
  std::vector<std::string> env = {"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str(), "TERM=xterm"};
  std::vector<std::string> other = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  QuvoRun r = run_quvo({"-k", "ALL"}, env, other);
  EXPECT_TRUE(ended(r, 1, {"only the owner of the data directory (root) may record the keymap of every user"}));
  r = run_quvo({"-k"}, env, other);
  EXPECT_TRUE(ended(r, 1, {"a keymap cannot be recorded here: you may not write in " + data.str() + "/keymaps"}));
  EXPECT_FALSE(has(r.err, "terminal")) << r.err;  // said before the terminal is touched
}

// A keymap store the user may not read: the start says so and who can mend
// it, not that the keymap is missing.
TEST(Entry, AnUnreadableKeymapStoreSaysSo) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to run as another user";
  std::string root, data;
  ASSERT_EQ(tmuxrun::make_engine_dir("quvo-entry", &root, &data), 0);
  chmod(root.c_str(), 0755);
  chmod(data.c_str(), 0755);
  chmod((data + "/keymaps").c_str(), 0700);
  std::string tag = "quvo-entry-" + std::to_string(getpid()) + "-u";
  tmuxrun::EngineResult r = tmuxrun::run_engine(root, data, tag, "", "",
                                                "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups");
  EXPECT_EQ(r.status, 15);
  struct stat st;
  ASSERT_EQ(stat((data + "/keymaps").c_str(), &st), 0);
  group* gr = getgrgid(st.st_gid);
  ASSERT_NE(gr, nullptr);
  EXPECT_EQ(r.err, "QUVO startup failed because of the following\nwm_init failed: the keymap store " + data +
                       "/keymaps cannot be read: Permission denied\n(you need read and search "
                       "permission on it: its owner, root, can add you to its group " + gr->gr_name +
                       " and run chmod g+rx " + data + "/keymaps)\nstartup error: 15\n\n");
  tmuxrun::sh("rm -rf " + tmuxrun::q(root));
}
}  // namespace
