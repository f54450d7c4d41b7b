// Statement files through the generator and the bootstrap: the test
// application's statements bootstrap into its STMT file and quvogen's list
// mode gives the file back unchanged; the check and template modes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "gen.h"
#include "gen_support.h"
#include "support/quvo_run.h"

using namespace gent;

namespace {

// Runs quvogen with the arguments; standard output and error into files.
int qg_run(const std::string& args, const std::string& dir, std::string* out, std::string* err) {
  std::string o = dir + "/qg.out", e = dir + "/qg.err";
  int st = std::system((std::string(QUVOGEN_BINARY) + " " + args + " >" + o + " 2>" + e).c_str());
  *out = slurp(o);
  *err = slurp(e);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(GenStmt, StatementFileBootstrapsAndListsBackUnchanged) {
  TempDir t;
  std::string boot = t.sub("boot"), var = t.sub("var");
  std::filesystem::create_directories(var);
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, QUVO_TEST_DIR "/tools/apps"}, boot, &errs, &made))
      << errs.str();
  std::vector<std::string> env{"QUVOPATH=" + var, "QUVO_BOOT_SRC=" + boot, "TERM=dumb"};
  QuvoRun b = run_quvo({"-b"}, env);
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  env.push_back("QUVO_BOOT_AP=TST");
  b = run_quvo({"-b"}, env);
  ASSERT_EQ(b.status, 0) << b.out << b.err;

  const std::string file = QUVO_TEST_DIR "/tools/apps/TST/tst_menu.stmt";
  std::string out, err;
  ASSERT_EQ(qg_run("--list " + var + " TST", t.str(), &out, &err), 0) << err;
  EXPECT_EQ(out, slurp(file));
  // The check mode against the directory: the file is clean; a spoiled copy
  // is refused at its places.
  EXPECT_EQ(qg_run("--check " + var + " TST " + file, t.str(), &out, &err), 0) << err;
  std::string spoiled = slurp(file);
  spoiled.replace(spoiled.find("END LOOP A"), 10, "END LOOP 5");
  spoiled += "TX    EXIT\n";
  std::ofstream(t.sub("bad.stmt"), std::ios::binary) << spoiled;
  EXPECT_EQ(qg_run("--check " + var + " TST " + t.sub("bad.stmt"), t.str(), &out, &err), 1);
  EXPECT_NE(err.find("bad.stmt:6:16: loop letter"), std::string::npos) << err;
  EXPECT_NE(err.find("bad.stmt:11:1: T/F column"), std::string::npos) << err;
}

TEST(GenStmt, TemplateModeAndRefusedStatementsInSources) {
  TempDir t;
  std::string out, err;
  ASSERT_EQ(qg_run("--template 'BEG LOOP'", t.str(), &out, &err), 0) << err;
  EXPECT_EQ(out.substr(0, out.find('\n')), "      BEG LOOP    =     TO      STEP");
  EXPECT_NE(out.find("a column 16 width 2 letter: loop letter, required"), std::string::npos) << out;
  EXPECT_EQ(qg_run("--template NOSUCH", t.str(), &out, &err), 1);
  // A statement the reader refuses stops the generation at its place.
  std::string src = t.sub("apps");
  std::filesystem::copy(QUVO_TEST_DIR "/tools/apps", src, std::filesystem::copy_options::recursive);
  std::ofstream(src + "/TST/bad.stmt", std::ios::binary) << "process 1 TST MENU\nstatements 2\n      IF       ABC X                      A1 EQ     1\n";
  qg::Errors errs;
  EXPECT_FALSE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, src}, t.sub("boot"), &errs));
  EXPECT_NE(errs.str().find("bad.stmt:3:43: occurrence"), std::string::npos) << errs.str();
}

}  // namespace
