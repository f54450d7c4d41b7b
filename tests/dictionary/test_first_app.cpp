// The README's "Your first application", word for word: every command of
// the walk typed into a shell in tmux, in a clone's layout of this build
// (build, data and a bootstrapped var), and every output line the README
// shows found on the terminal after its command ("..." stands for what
// differs from run to run). The files the walk writes are the example kept
// in tests/dictionary/first-app.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <vector>

#include "support/tmux.h"

using namespace tmuxrun;

namespace {

// One command of the walk: the line typed, the lines of its here-document,
// and the output the README shows after it.
struct Step {
  std::string command;
  std::vector<std::string> here, shown;
};

std::vector<Step> readme_walk(std::string* error) {
  std::string text = slurp(QUVO_TEST_DIR "/../README.md");
  size_t at = text.find("\n## Your first application\n");
  size_t end = text.find("\n## ", at + 1);
  if (at == std::string::npos) {
    *error = "README.md has no section \"Your first application\"";
    return {};
  }
  std::istringstream in(text.substr(at, end - at));
  std::vector<Step> steps;
  bool here = false;
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 4, "    ") != 0) continue;
    line.erase(0, 4);
    if (here) {
      if (line == "EOF") here = false;
      else steps.back().here.push_back(line);
    } else if (line.compare(0, 2, "$ ") == 0) {
      steps.push_back(Step{line.substr(2), {}, {}});
      here = line.find("<<'EOF'") != std::string::npos;
    } else if (!steps.empty()) {
      steps.back().shown.push_back(line);
    }
  }
  return steps;
}

// A shown line as a pattern: "..." stands for anything.
std::regex pattern(const std::string& shown) {
  std::string re;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown.compare(i, 3, "...") == 0) {
      re += ".*";
      i += 2;
    } else if (std::strchr("\\^$.|?*+()[]{}", shown[i])) {
      re += std::string("\\") + shown[i];
    } else {
      re += shown[i];
    }
  }
  return std::regex(re);
}

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) {
    while (!l.empty() && l.back() == ' ') l.pop_back();
    out.push_back(l);
  }
  return out;
}

}  // namespace

TEST(FirstApplication, TheReadmeWalkRunsWordForWord) {
  std::string error;
  std::vector<Step> steps = readme_walk(&error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_GE(steps.size(), 8u);
  // The clone's layout: its build, its sources' data, a bootstrapped var.
  std::string tmpl = "/tmp/quvo-first-XXXXXX";
  std::string root = mkdtemp(tmpl.data()), clone = root + "/quvo";
  std::string bin = std::string(QUVO_BINARY).substr(0, std::string(QUVO_BINARY).rfind('/'));
  ASSERT_EQ(mkdir(clone.c_str(), 0755), 0);
  ASSERT_EQ(symlink(bin.c_str(), (clone + "/build").c_str()), 0);
  ASSERT_EQ(symlink(QUVO_TEST_DIR "/../data", (clone + "/data").c_str()), 0);
  ASSERT_EQ(mkdir((clone + "/var").c_str(), 0755), 0);
  int rc = -1;
  sh("env -i PATH=/usr/bin:/bin" + sanitizer_env() + " QUVOPATH=" + q(clone + "/var") + " " + q(QUVO_BINARY) +
         " -b >/dev/null 2>&1",
     &rc);
  ASSERT_EQ(rc, 0);

  std::string name = "quvo-first-" + std::to_string(getpid());
  std::string tmux = "env -u TMUX TMUX_TMPDIR=" + q(root) + " tmux -L " + name + " -f /dev/null ";
  sh("cd " + q(clone) + " && env -i PATH=/usr/bin:/bin HOME=" + q(root) + " LANG=C.UTF-8 PS1='$ '" +
     sanitizer_env() + " SHELL=/bin/sh " + tmux + "new-session -d -x 200 -y 50 /bin/sh 2>&1");
  auto screen = [&] { return sh(tmux + "capture-pane -p -J -S - 2>&1"); };
  auto type = [&](const std::string& line) {
    sh(tmux + "send-keys -l " + q(line) + " 2>&1");
    sh(tmux + "send-keys Enter 2>&1");
  };
  // Done when the shell shows its prompt again after the command.
  auto prompts = [&] {
    int n = 0;
    for (const std::string& l : lines_of(screen())) n += l.compare(0, 1, "$") == 0;
    return n;
  };
  auto wait_prompt = [&](int n) {
    for (int i = 0; i < 3000 && prompts() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return prompts() >= n;
  };
  ASSERT_TRUE(wait_prompt(1)) << screen();
  int done = 1;
  for (const Step& s : steps) {
    type(s.command);
    for (const std::string& h : s.here) type(h);
    if (!s.here.empty()) type("EOF");
    ASSERT_TRUE(wait_prompt(++done)) << "no prompt after: " << s.command << "\n" << screen();
  }
  std::vector<std::string> seen = lines_of(screen());
  sh(tmux + "kill-server 2>&1");

  // Every command and, after it, every line it shows, in order.
  size_t at = 0;
  for (const Step& s : steps) {
    while (at < seen.size() && seen[at] != "$ " + s.command && seen[at] != "$" + s.command) ++at;
    ASSERT_LT(at, seen.size()) << "the command is not on the terminal: " << s.command;
    for (const std::string& want : s.shown) {
      std::regex re = pattern(want);
      while (at < seen.size() && !std::regex_match(seen[at], re)) ++at;
      ASSERT_LT(at, seen.size()) << "after " << s.command << " the terminal does not show: " << want;
    }
  }
  EXPECT_EQ(steps.back().shown, std::vector<std::string>{"exit status 0"});
  // The files the walk wrote are the example of the tests.
  for (const char* f : {"MYA/mya.def", "MYA/hello.proc"})
    EXPECT_EQ(slurp(root + "/hello/" + f), slurp(std::string(QUVO_TEST_DIR "/dictionary/first-app/") + f)) << f;
  std::string stmt = slurp(QUVO_TEST_DIR "/dictionary/first-app/MYA/hello.stmt");
  EXPECT_NE(stmt.find("6 * 9"), std::string::npos);
  EXPECT_EQ(slurp(root + "/hello/MYA/hello.stmt"), std::regex_replace(stmt, std::regex("6 \\* 9"), "6 * 7"));
  sh("rm -rf " + q(root));
}
