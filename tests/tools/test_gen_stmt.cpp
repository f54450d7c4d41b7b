// Statement files through the generator and the bootstrap: the test
// application's statements bootstrap into its STMT file and quvogen's list
// mode gives the file back unchanged; the check and template modes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "files/fm.h"
#include "foundation/bi.h"
#include "gen.h"
#include "gen_support.h"
#include "process/pl_fixture.h"
#include "support/dict_fixtures.h"
#include "support/quvo_run.h"
#include "support/stmt_text.h"

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

// The APPL record of an application added to a data directory (the
// compiler compiles only a registered application's processes), and
// PROCESS records of Subroutines of its own.
void register_app(const std::string& var, const char* app, std::initializer_list<const char*> subroutines = {},
                  bool appl = true) {
  setenv("QUVOPATH", var.c_str(), 1);
  bi_init_com();
  fms_init();
  if (appl) {
    ASSERT_EQ(fx::write("APPL", nullptr, nullptr, {fx::appl(app, "00")}), 1);
  }
  std::vector<fx::Rec> procs;
  int i = 0;
  for (const char* n : subroutines) {
    std::string stamp = "2026-01-01T00:00:0" + std::to_string(++i);
    procs.push_back(pltest::proc_rec(n, 6, "1", 50, stamp, stamp));
  }
  if (!procs.empty()) {
    ASSERT_EQ(fx::write("PROCESS", app, "00", procs), int(procs.size()));
  }
  fm_shutdown();
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
  // The dictionary TST was added with holds the runtime application's
  // statements too: the listing's blocks of TST's own processes.
  std::string own;
  for (size_t at = 0; at < out.size();) {
    size_t end = out.find("\n\n", at);
    std::string block = out.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    size_t name = block.find(' ', 8) + 1;  // after "process N "
    if (block.compare(name, 4, "TST ") == 0) own += (own.empty() ? "" : "\n") + block;
    at = end == std::string::npos ? out.size() : end + 2;
  }
  EXPECT_EQ(own, slurp(file));
  // The check mode against the directory: the file reads clean, and the
  // compiler compiles its start and its frame; a spoiled copy is refused
  // at its places.
  register_app(var, "TST");
  EXPECT_EQ(qg_run("--check " + var + " TST " + file, t.str(), &out, &err), 0) << err;
  EXPECT_EQ(err, "");
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
  std::string quoted = out;
  ASSERT_EQ(qg_run("--template BEG LOOP", t.str(), &out, &err), 0) << err;
  EXPECT_EQ(out, quoted);
  EXPECT_EQ(qg_run("--template NOSUCH", t.str(), &out, &err), 1);
  // A statement the reader refuses stops the generation at its place.
  std::string src = t.sub("apps");
  std::filesystem::copy(QUVO_TEST_DIR "/tools/apps", src, std::filesystem::copy_options::recursive);
  std::ofstream(src + "/TST/bad.stmt", std::ios::binary) << "process 1 TST MENU\nstatements 2\n      IF       ABC X                      A1 EQ     1\n";
  qg::Errors errs;
  EXPECT_FALSE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, src}, t.sub("boot"), &errs));
  EXPECT_NE(errs.str().find("bad.stmt:3:43: occurrence"), std::string::npos) << errs.str();
  // So does a block of a process the sources do not define (or not of that
  // type), once for its header.
  std::ofstream(src + "/TST/bad.stmt", std::ios::binary)
      << "process subroutine TST MENU\nstatements 1\n      END\n      END\nprocess 1 TST MENU\nstatements 2\n      END\n";
  errs = qg::Errors();
  EXPECT_FALSE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, src}, t.sub("boot"), &errs));
  EXPECT_EQ(errs.str(), src + "/TST/bad.stmt:1:9: no Subroutine TST MENU in TST's sources\n");
  // Only one's own folder, the system applications' forgotten: one error
  // that says what to give, not one per design file.
  errs = qg::Errors();
  EXPECT_FALSE(qg::generate(std::vector<std::string>{src}, t.sub("boot"), &errs));
  EXPECT_EQ(errs.str(), src +
                            ": no system applications (0AD, 0LA, 0DB, 0SA) among the sources: give their directory, "
                            "data/apps of the clone, before your own (quvogen QUVO/data/apps YOUR-DIR OUTPUT-DIR)\n");
}

// The check mode as a person writing statements meets it: the data
// directory must exist; a process the dictionary lacks is refused at its
// header; a line naming a verb, field or kind of field that is wrong is
// refused with why; a file that reads clean is compiled by the engine's
// compiler, whose errors name the line and the statement; one that
// compiles passes.
TEST(GenStmt, CheckModeReadsAndCompilesAgainstTheDataDirectory) {
  using namespace stmttext;
  TempDir t;
  std::string var = t.sub("var"), out, err;
  EXPECT_EQ(qg_run("--check " + t.sub("nodir") + " 0LA x.stmt", t.str(), &out, &err), 1);
  EXPECT_EQ(err, "quvogen: the data directory " + t.sub("nodir") + " does not exist\n");
  std::filesystem::create_directories(var);
  QuvoRun b = run_quvo({"-b"}, {"QUVOPATH=" + var, "QUVO_BOOT_SRC=" + (std::filesystem::path(QUVO_BINARY).parent_path() / "boot").string(), "TERM=dumb"});
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  ASSERT_NO_FATAL_FAILURE(register_app(var, "0LA", {"CHECK ONE"}, false));
  // The engine users run, started on the directory without a terminal,
  // shows its menu nowhere and says why it cannot wait for a key.
  QuvoRun menu = run_quvo({}, {"QUVOPATH=" + var, "TERM=dumb"}, {}, QUVO_USER_BINARY);
  EXPECT_EQ(menu.status, kExitNoTerminal) << menu.err;
  EXPECT_NE(menu.err.find("there is no terminal"), std::string::npos) << menu.err;

  const std::string read_bad = t.sub("read.stmt");
  std::ofstream(read_bad, std::ios::binary)
      << "process subroutine CHECK ONE\nstatements 1\n" << line("", "COMPUT", {{0, "A"}})
      << line("", "IF", {{0, "0LA"}, {4, "NOSUCH"}, {31, "EQ"}, {38, "1"}})
      << line("", "PRINT", {{0, "0LA"}, {4, "A"}, {34, "1"}, {43, "1"}, {55, "10"}})
      << line("", "SET", {{0, "---"}, {4, "PRINT REPORT"}, {34, "1"}})   // the value 4 columns left
      << "process 6 NO SUCH\nstatements 1\n      END\nprocess menu CHECK ONE\n";
  EXPECT_EQ(qg_run("--check " + var + " 0LA " + read_bad, t.str(), &out, &err), 1);
  EXPECT_EQ(err, read_bad + ":3:7: unknown verb COMPUT\n" + read_bad + ":4:20: no field NOSUCH in 0LA\n" + read_bad +
                     ":5:20: PRINT needs an alpha field\n" + read_bad +
                     ":6:50: application 1 with no field: columns 50-52 take the application of the field named in "
                     "columns 54-75; a value goes in columns 54-75 with columns 50-52 blank\n" +
                     read_bad + ":7:9: no Subroutine NO SUCH in 0LA\n" + read_bad +
                     ":10:9: no Menu CHECK ONE in 0LA (there is a Subroutine process of that name)\n");
  // A verb with its operands written into the verb's columns.
  std::ofstream(read_bad, std::ios::binary) << "process subroutine CHECK ONE\nstatements 1\n      CALC A = 1\n";
  EXPECT_EQ(qg_run("--check " + var + " 0LA " + read_bad, t.str(), &out, &err), 1);
  EXPECT_EQ(err, read_bad + ":3:7: text after verb CALC in the verb's columns 7-14; its operands begin in column 16\n");

  const std::string cmpl_bad = t.sub("compile.stmt");
  const std::string good = "process 6 CHECK ONE\nstatements 1\n" + calc("", "A", "1") +
                           line("", "IF", {{0, "0LA"}, {4, "A"}, {31, "EQ"}, {38, "1"}}) +
                           line("T", "GOTO", {{0, "DONE"}}) + line("", "LABEL", {{0, "DONE"}}) + line("", "END PROC");
  std::ofstream(cmpl_bad, std::ios::binary)
      << "process 6 CHECK ONE\nstatements 1\n" << calc("", "A", "1") << line("", "GOTO", {{0, "NOWHERE"}})
      << line("", "SCAN", {{0, "0LA"}, {4, "A"}, {34, "0LA"}, {38, "B"}}) << line("", "END PROC");
  EXPECT_EQ(qg_run("--check " + var + " 0LA " + cmpl_bad, t.str(), &out, &err), 1);
  EXPECT_EQ(err, cmpl_bad + ":4:7: 100940 Label is not defined: GOTO     NOWHERE\n" + cmpl_bad +
                     ":5:7: 102450 File is not in the dictionary: SCAN     --- A                          =  --- B\n");
  std::ofstream(t.sub("good.stmt"), std::ios::binary) << good;
  EXPECT_EQ(qg_run("--check " + var + " 0LA " + t.sub("good.stmt") + " " + t.sub("good.stmt"), t.str(), &out, &err), 0)
      << err;
  EXPECT_EQ(err, "");
  // Nothing was written: the dictionary holds no statement of CHECK ONE.
  EXPECT_EQ(qg_run("--list " + var + " 0LA", t.str(), &out, &err), 0) << err;
  EXPECT_EQ(out.find("CHECK ONE"), std::string::npos) << out;
  // An application with no APPL record cannot be compiled: said once, its
  // files read all the same.
  EXPECT_EQ(qg_run("--check " + var + " NOA " + t.sub("good.stmt"), t.str(), &out, &err), 1);
  EXPECT_EQ(err, "quvogen: application NOA 00 is not registered in " + var +
                     " (no APPL record): its statements cannot be compiled\n" + t.sub("good.stmt") +
                     ":1:9: no Subroutine CHECK ONE in NOA\n");
}

// One help text naming the arguments, on standard output when asked for;
// --template without a verb, or with one it does not know, lists the verbs.
TEST(GenStmt, HelpAndTemplateListTheArgumentsAndVerbs) {
  TempDir t;
  std::string out, err;
  ASSERT_EQ(qg_run("--help", t.str(), &out, &err), 0);
  EXPECT_EQ(out.substr(0, out.find("\n\n")),
            "usage: quvogen SOURCE-DIR... OUTPUT-DIR\n"
            "       quvogen --template [VERB]\n"
            "       quvogen --list DATA-DIR APP [VER]\n"
            "       quvogen --check DATA-DIR APP [VER] FILE...\n"
            "       quvogen --help");
  EXPECT_NE(out.find("SOURCE-DIR...  each the parent of application folders"), std::string::npos) << out;
  const std::string help = out;
  EXPECT_EQ(qg_run("", t.str(), &out, &err), 2);
  EXPECT_EQ(err, help);
  EXPECT_EQ(qg_run("--bogus", t.str(), &out, &err), 2);
  EXPECT_EQ(err, help);
  EXPECT_EQ(qg_run("--check", t.str(), &out, &err), 2);
  EXPECT_EQ(err, help);
  ASSERT_EQ(qg_run("--template", t.str(), &out, &err), 0);
  EXPECT_EQ(out.substr(0, 22), "  *, **, ACTION, AND, ");
  std::string verbs = out;
  EXPECT_NE(verbs.find(" BEG LOOP,"), std::string::npos);
  EXPECT_EQ(qg_run("--template COMPUT", t.str(), &out, &err), 1);
  EXPECT_EQ(err, "quvogen: no verb \"COMPUT\"; the verbs are:\n" + verbs);
}

}  // namespace
