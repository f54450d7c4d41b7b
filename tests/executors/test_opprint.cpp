// The print script that `quvo -b` installs: each mode and disposition on a
// print file and its settings, with a recording lp (or none) on PATH, and
// settings that try to run code.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/quvo_run.h"

namespace fs = std::filesystem;

namespace {

const std::string kSource = std::string(QUVO_TEST_DIR) + "/../data/quvo_print";

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class PrintScript : public ::testing::Test {
 protected:
  static TempDir* dir;
  static std::string var;
  std::string script() { return var + "/quvo_print"; }

  // A data directory with the script as the bootstrap installs it.
  static void SetUpTestSuite() {
    dir = new TempDir;
    var = dir->sub("var");
    fs::create_directories(var);
    fs::copy_file(kSource, var + "/quvo_print");
  }
  static void TearDownTestSuite() { delete dir; }

  TempDir work;
  // bin: the tools the script uses, and lp when `lp` holds its text.
  std::string bin(const std::string& lp) {
    fs::path b = work.path / "bin";
    fs::create_directories(b);
    for (const char* t : {"sh", "date", "tr", "sed", "mkdir", "cat", "rm", "dirname", "basename"}) {
      std::error_code ec;
      for (const char* d : {"/usr/bin/", "/bin/"})
        if (fs::exists(std::string(d) + t)) {
          fs::create_symlink(std::string(d) + t, b / t, ec);
          break;
        }
    }
    if (!lp.empty()) {
      work.write("bin/lp", lp);
      ::chmod((b / "lp").c_str(), 0755);
    }
    return b.string();
  }
  // A print file and its .cfg in the print directory; the file's path.
  std::string report(const std::string& name, const std::string& mode, const std::string& disp,
                     const std::string& extra = "") {
    fs::create_directories(work.path / "prt dir");
    std::string p = (work.path / "prt dir" / name).string();
    std::ofstream(p) << "REPORT " << name << "\n\fpage 2\n";
    std::ofstream(p + ".cfg") << "-mode=" << mode << "\n-disposition=" << disp
                              << "\n-copies=2\n-notify=No\n-banner=No\n-format=          \n"
                              << "-printer_name=LASER1    \n-printer_queue=" << extra << "\n";
    return p;
  }
  QuvoRun run(const std::string& path_dir, const std::string& file) {
    return run_quvo({"-config=" + file + ".cfg", file}, {},
                    {"/usr/bin/env", "-i", "PATH=" + path_dir, "QUVOPATH=" + var}, script().c_str());
  }
  std::string hold() { return var + "/print/hold"; }
  std::string log() { return slurp(var + "/print/quvo_print.log"); }
};
TempDir* PrintScript::dir = nullptr;
std::string PrintScript::var;

constexpr const char* kRecordingLp =
    "#!/bin/sh\n"
    "d=$(dirname \"$0\")\n"
    "for a in \"$@\"; do printf '[%s]' \"$a\"; done >>\"$d/../lp.args\"\n"
    "echo >>\"$d/../lp.args\"\n"
    "for a in \"$@\"; do f=$a; done\n"
    "cat \"$f\" >>\"$d/../lp.data\"\n";

TEST(PrintScriptInstall, TheBootstrapInstallsItAndItsHoldDirectory) {
  TempDir d;
  std::string var = d.sub("var");
  fs::create_directories(var);
  QuvoRun b = run_quvo({"-b"}, {"QUVOPATH=" + var});
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  struct stat st{};
  ASSERT_EQ(::stat((var + "/quvo_print").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(slurp(var + "/quvo_print"), slurp(kSource));
  ASSERT_EQ(::stat((var + "/print/hold").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07000, 03000u) << "only an entry's owner removes a held report";
  ASSERT_EQ(::lstat((var + "/print/quvo_print.log").c_str(), &st), 0) << "the log's name is taken";
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
}

TEST_F(PrintScript, HoldAndOnlineKeepThePairInTheHoldDirectoryUnderFreeNames) {
  std::string tools = bin("");
  std::string a = report("PRTFI000", "HOLD", "SAVE");
  std::string text = slurp(a), cfg = slurp(a + ".cfg");
  ASSERT_EQ(run(tools, a).status, 0);
  EXPECT_FALSE(fs::exists(a));
  EXPECT_FALSE(fs::exists(a + ".cfg"));
  EXPECT_EQ(slurp(hold() + "/PRTFI000"), text);
  EXPECT_EQ(slurp(hold() + "/PRTFI000.cfg"), cfg);
  // the same name again (the print directory reuses freed names): a new one
  std::string b = report("PRTFI000", "ONLINE", "SCRATCH");
  std::string cfg2 = slurp(b + ".cfg");
  ASSERT_EQ(run(tools, b).status, 0);
  EXPECT_EQ(slurp(hold() + "/PRTFI000"), text) << "a held report is never replaced";
  EXPECT_EQ(slurp(hold() + "/PRTFI000.cfg"), cfg);
  EXPECT_TRUE(fs::exists(hold() + "/PRTFI000.1"));
  EXPECT_EQ(slurp(hold() + "/PRTFI000.1.cfg"), cfg2);
  EXPECT_FALSE(fs::exists(b));
  std::string l = log();
  EXPECT_NE(l.find("held " + a + " as " + hold() + "/PRTFI000\n"), std::string::npos) << l;
  EXPECT_NE(l.find("held " + b + " as " + hold() + "/PRTFI000.1\n"), std::string::npos) << l;
  fs::remove_all(hold());
  fs::create_directories(hold());
}

TEST_F(PrintScript, SpoolHandsTheFileToLpAndScratchRemovesItAfterwards) {
  std::string tools = bin(kRecordingLp);
  fs::path args = work.path / "lp.args", data = work.path / "lp.data";
  // SAVE: lp gets copies, the queue and the file; the pair stays
  std::string a = report("REPORT01", "SPOOL", "SAVE", "night queue ");
  ASSERT_EQ(run(tools, a).status, 0);
  EXPECT_EQ(slurp(args), "[-n][2][-d][night queue][--][" + a + "]\n");
  EXPECT_EQ(slurp(data), slurp(a));
  EXPECT_TRUE(fs::exists(a + ".cfg"));
  // SCRATCH: gone once lp has it; without a queue, the printer's name
  fs::remove(args);
  std::string b = report("REPORT02", "SPOOL", "SCRATCH");
  std::string text = slurp(b);
  ASSERT_EQ(run(tools, b).status, 0);
  EXPECT_EQ(slurp(args), "[-n][2][-d][LASER1][--][" + b + "]\n");
  EXPECT_FALSE(fs::exists(b));
  EXPECT_FALSE(fs::exists(b + ".cfg"));
  EXPECT_NE(log().find("spooled " + b + " to LASER1, 2 copies"), std::string::npos);
  // lp refuses: the file is held, not lost, whatever the disposition
  work.write("bin/lp", "#!/bin/sh\nexit 1\n");
  std::string c = report("REPORT03", "SPOOL", "SCRATCH");
  text = slurp(c);
  ASSERT_EQ(run(tools, c).status, 0);
  EXPECT_EQ(slurp(hold() + "/REPORT03"), text);
  EXPECT_FALSE(fs::exists(c));
  // no lp at all: held
  fs::remove(work.path / "bin" / "lp");
  std::string d = report("REPORT04", "SPOOL", "SCRATCH");
  ASSERT_EQ(run(tools, d).status, 0);
  EXPECT_TRUE(fs::exists(hold() + "/REPORT04"));
  EXPECT_NE(log().find("no lp installed: holding " + d), std::string::npos);
  // KEEP: left as it is
  std::string e = report("REPORT05", "KEEP", "SCRATCH");
  ASSERT_EQ(run(tools, e).status, 0);
  EXPECT_TRUE(fs::exists(e));
  EXPECT_TRUE(fs::exists(e + ".cfg"));
}

// Links another member planted in the print directories: the log is not
// written through one, and a held name that is a link (to a file, or to a
// device, which a create-exclusive claim lets through) is passed over.
TEST_F(PrintScript, LinksPlantedInThePrintDirectoriesAreNeverWrittenThrough) {
  std::string tools = bin("");
  work.write("victim", "mine\n");
  std::string victim = (work.path / "victim").string(), lg = var + "/print/quvo_print.log";
  fs::create_directories(hold());
  fs::remove(lg);
  fs::create_symlink(victim, lg);
  fs::create_symlink(victim, hold() + "/PLANT000");
  fs::create_symlink("/dev/null", hold() + "/PLANT000.1");
  std::string a = report("PLANT000", "HOLD", "SAVE");
  std::string text = slurp(a);
  ASSERT_EQ(run(tools, a).status, 0);
  EXPECT_EQ(slurp(victim), "mine\n");
  EXPECT_TRUE(fs::is_symlink(lg));
  EXPECT_EQ(slurp(hold() + "/PLANT000.2"), text) << "held under the first name that is no link";
  EXPECT_TRUE(fs::is_symlink(hold() + "/PLANT000.1"));
  for (const char* n : {"/PLANT000", "/PLANT000.1", "/PLANT000.2", "/PLANT000.2.cfg"}) fs::remove(hold() + n);
  fs::remove(lg);
}

TEST_F(PrintScript, SettingsAreReadAsDataAndOddNamesPassWhole) {
  std::string tools = bin(kRecordingLp);
  fs::path marker = work.path / "marker";
  // values that a sourcing or eval'ing script would run
  std::string q = "$(touch " + marker.string() + ")`touch " + marker.string() + "`; touch " + marker.string();
  std::string a = report("it's a \"report\" $(x); y", "SPOOL", "SAVE", q);
  {
    std::ofstream(a + ".cfg", std::ios::app) << "touch " << marker.string() << "\n-mode=$(touch " << marker.string()
                                             << ")\n";
  }
  ASSERT_EQ(run(tools, a).status, 0);
  EXPECT_FALSE(fs::exists(marker));
  // the later -mode line is a value like any other: an unknown mode holds
  EXPECT_TRUE(fs::exists(hold() + "/it's a \"report\" $(x); y"));
  EXPECT_FALSE(fs::exists(work.path / "lp.args"));
  // wrong arguments: refused, nothing touched
  QuvoRun r = run_quvo({a}, {}, {"/usr/bin/env", "-i", "PATH=" + tools, "QUVOPATH=" + var}, script().c_str());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(log().find("refused: expected -config=PATH.cfg PATH, got 1 arguments"), std::string::npos);
}

}  // namespace
