// Print files: free names under concurrent creation, the overstrike format
// read back whole, the .cfg file and the hand-off to the print script.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "executors/pmunix.h"
#include "foundation/mm.h"
#include "support/quvo_run.h"

namespace fs = std::filesystem;

namespace {

struct Env {
  std::string name;
  Env(const char* n, const std::string& v) : name(n) { setenv(n, v.c_str(), 1); }
  ~Env() { unsetenv(name.c_str()); }
};

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class Pm : public ::testing::Test {
 protected:
  TempDir dir;
  MmPool pool = mm_create_pool(nullptr, 0, 0);
  void TearDown() override { mm_destroy_pool(pool); }

  PmCtl* ctl(const char* name = "") {
    auto* pc = static_cast<PmCtl*>(MM_ALLOC(pool, sizeof(PmCtl)));
    std::memset(static_cast<void*>(pc), 0, sizeof *pc);
    std::memset(static_cast<void*>(&pc->format), ' ', sizeof *pc - offsetof(PmCtl, format));
    pc->name.set(name);
    pc->print_date.day = 0xFFFFFFFFu;
    pc->mode = kPmHold;
    pc->disposition = kPmSave;
    pc->copies = 1;
    pc->print = 1;
    return pc;
  }
  // Creates the file; its base name.
  std::string bld(PmCtl* pc) {
    char path[255];
    if (!pm_bld(pc, path)) return "";
    std::string p(path, 255);
    p.erase(p.find_last_not_of(' ') + 1);
    EXPECT_EQ(p, pm_path(pc));
    return fs::path(p).filename().string();
  }
  PmReq* req(uint8_t action, uint32_t count, const std::string& text = "", std::vector<PmRun> runs = {}) {
    auto* r = static_cast<PmReq*>(MM_ALLOC(pool, sizeof(PmReq)));
    std::memset(static_cast<void*>(r), 0, sizeof *r);
    r->action = action;
    r->count = count;
    if (!text.empty()) {
      char* t = static_cast<char*>(MM_ALLOC(pool, text.size()));
      std::memcpy(t, text.data(), text.size());
      r->text.set(t);
      r->text_len = uint16_t(text.size());
    }
    if (!runs.empty()) {
      auto* rr = static_cast<PmRun*>(MM_ALLOC(pool, runs.size() * sizeof(PmRun)));
      std::memcpy(static_cast<void*>(rr), runs.data(), runs.size() * sizeof(PmRun));
      r->runs.set(rr);
      r->run_count = uint8_t(runs.size());
    }
    return r;
  }
  PmReq* reader() {
    PmReq* r = req(0, 0);
    r->text.set(static_cast<char*>(MM_ALLOC(pool, kPmCols)));
    r->attrs.set(static_cast<rec::U32*>(MM_ALLOC(pool, kPmCols * 4)));
    return r;
  }
  static PmRun run(uint32_t attr, uint16_t start, uint16_t len) {
    PmRun r{};
    r.attr = attr;
    r.start = start;
    r.len = len;
    return r;
  }
};

TEST_F(Pm, NamesTakeTheFirstFreeNumberThenAShorterStem) {
  Env d("QUVO_PRT_FI_DIR", dir.str());  // no final '/': one is added
  EXPECT_EQ(bld(ctl()), "PRTFI000");
  EXPECT_EQ(bld(ctl("        ")), "PRTFI001");
  for (int i = 3; i <= 999; ++i) dir.write("PRTFI" + std::string(3 - std::to_string(i).size(), '0') + std::to_string(i), "");
  EXPECT_EQ(bld(ctl()), "PRTFI002");
  EXPECT_EQ(bld(ctl()), "PRTF0000");
  // An 8-character name is never tried unchanged: its stem loses a character.
  for (int i = 0; i < 10; ++i) EXPECT_EQ(bld(ctl("REPORT01")), "REPORT0" + std::to_string(i));
  EXPECT_EQ(bld(ctl("REPORT01")), "REPORT10");
  // A name cannot leave the directory.
  EXPECT_EQ(bld(ctl("../x")), "");
  // An unwritable directory fails at once.
  Env bad("QUVO_PRT_FI_DIR", dir.sub("none/"));
  EXPECT_EQ(bld(ctl()), "");
}

TEST_F(Pm, EightEnginesMakeTwoHundredFilesEachNoneLostOrShared) {
  Env d("QUVO_PRT_FI_DIR", dir.str() + "/");
  constexpr int kEngines = 8, kEach = 200;
  std::vector<pid_t> kids;
  for (int e = 0; e < kEngines; ++e) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int bad = 0;
      for (int i = 0; i < kEach; ++i) {
        PmCtl* pc = ctl();
        if (bld(pc).empty()) ++bad;
        std::string mark = std::to_string(e) + ":" + std::to_string(i);
        if (!pm_write(pc, req(kPmAdvance, 1, mark)) || !pm_close(pc)) ++bad;
      }
      _exit(bad ? 1 : 0);
    }
    kids.push_back(pid);
  }
  for (pid_t k : kids) {
    int st = 0;
    ASSERT_EQ(waitpid(k, &st, 0), k);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  std::set<std::string> marks;
  size_t files = 0, cfgs = 0;
  for (auto& f : fs::directory_iterator(dir.str())) {
    if (f.path().extension() == ".cfg") {
      ++cfgs;
      continue;
    }
    ++files;
    marks.insert(slurp(f.path().string()));
  }
  EXPECT_EQ(files, size_t(kEngines * kEach));
  EXPECT_EQ(cfgs, files) << "each file's .cfg name claimed with it";
  std::set<std::string> want;
  for (int e = 0; e < kEngines; ++e)
    for (int i = 0; i < kEach; ++i) want.insert("\n" + std::to_string(e) + ":" + std::to_string(i));
  EXPECT_EQ(marks, want);
}

// Reading back reopens the report's own regular file only: a link or a
// pipe put under its name is refused.
TEST_F(Pm, ReopenRefusesALinkOrPipeInTheFilesPlace) {
  Env d("QUVO_PRT_FI_DIR", dir.str() + "/");
  PmCtl* pc = ctl("R");
  std::string name = bld(pc);
  ASSERT_FALSE(name.empty());
  ASSERT_EQ(pm_close(pc), 1);
  std::string p = dir.sub(name), other = dir.sub("other");
  std::ofstream(other) << "x\n";
  fs::remove(p);
  ASSERT_EQ(symlink(other.c_str(), p.c_str()), 0);
  EXPECT_EQ(pm_open(pc), 0);
  fs::remove(p);
  ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
  EXPECT_EQ(pm_open(pc), 0);
  fs::remove(p);
  std::ofstream(p) << "a\n";
  ASSERT_EQ(pm_open(pc), 1);
  EXPECT_EQ(pm_close(pc), 1);
  EXPECT_EQ(slurp(other), "x\n");
}

TEST_F(Pm, LinesAndPagesReadBackAsWritten) {
  Env d("QUVO_PRT_FI_DIR", dir.str());
  PmCtl* pc = ctl();
  std::string name = bld(pc);
  ASSERT_FALSE(name.empty());
  // Page 1 has no form feed; counts past 255 keep every line; the overstrike
  // bytes of each attribute.
  ASSERT_EQ(pm_write(pc, req(kPmNewPage, 0)), 1);
  ASSERT_EQ(pm_write(pc, req(kPmAdvance, 1, "ab  cd  ", {run(kPmBold, 1, 1), run(kPmUnderline, 2, 1)})), 1);
  ASSERT_EQ(pm_write(pc, req(kPmAdvance, 300)), 1);
  ASSERT_EQ(pm_write(pc, req(kPmGoto, 302, "xyz", {run(kPmHidden, 2, 1), run(kPmSubst, 3, 1), run(kPmUnderline, 4, 2)})), 1);
  EXPECT_EQ(pc->line, 302u);
  ASSERT_EQ(pm_write(pc, req(9, 1)), 0);
  // Random attributed lines up to 255 columns, a bold underlined full line
  // among them (11 bytes a column: past any 2 KB buffer), one per page.
  std::mt19937 rng(36);
  struct Line {
    std::string text;
    std::vector<uint32_t> attrs;
  };
  std::vector<Line> want;
  for (int l = 0; l < 40; ++l) {
    int cols = l == 0 ? 255 : int(rng() % 255) + 1;
    std::string text;
    std::vector<PmRun> runs;
    std::vector<uint32_t> attrs(cols, 0);
    for (int c = 0; c < cols; ++c) text += char('A' + rng() % 26);
    static const uint32_t kAttr[] = {kPmBold, kPmUnderline, kPmBold | kPmUnderline, kPmSubst, kPmSubst | kPmBold,
                                     kPmHidden, kPmHidden | kPmUnderline};
    if (l == 0) runs.push_back(run(kPmBold | kPmUnderline, 1, 255));
    for (int c = 1; l > 0 && c <= cols; c += 1 + int(rng() % 20)) {
      uint16_t len = uint16_t(std::min<int>(1 + int(rng() % 5), cols - c + 1));
      runs.push_back(run(kAttr[rng() % 7], uint16_t(c), len));
      c += len;
    }
    std::string sent = text;
    for (const PmRun& r : runs)
      for (int c = r.start - 1; c < r.start - 1 + r.len; ++c) {
        uint32_t a = r.attr;
        if ((a & kPmHidden) == kPmHidden) text[c] = ' ';
        if ((a & kPmSubst) == kPmSubst) text[c] = ' ';
        attrs[c] = ((a & kPmSubst) == kPmSubst ? kPmSubstRead | (a & kPmBold) : (a & kPmHidden) == kPmHidden ? 0 : a & kPmBold) |
                   (a & kPmUnderline);
      }
    ASSERT_EQ(pm_write(pc, req(kPmNewPage, 0)), 1);
    ASSERT_EQ(pm_write(pc, req(kPmAdvance, 1, sent, runs)), 1);
    want.push_back({text, attrs});
  }
  EXPECT_EQ(pc->page, 41u);
  ASSERT_EQ(pm_close(pc), 1);
  std::string file = slurp(dir.sub(name));
  EXPECT_EQ(file.substr(0, 14), "\na\ba\bab\b_  cd\n");
  EXPECT_EQ(file.substr(13, 301 + 14), std::string(301, '\n') + "x a\bm\bw \b_ \b_\f");

  ASSERT_EQ(pm_open(pc), 1);
  PmReq* r = reader();
  auto text_of = [&] { return std::string(r->text.get(), r->text_len); };
  ASSERT_EQ(pm_rdnxt(pc, r), 1);
  EXPECT_EQ(r->action, kPmAdvance);
  EXPECT_EQ(r->count, 1u);
  EXPECT_EQ(text_of(), "ab  cd");
  EXPECT_EQ(uint32_t(r->attrs.get()[0]), kPmBold);
  EXPECT_EQ(uint32_t(r->attrs.get()[1]), kPmUnderline);
  ASSERT_EQ(pm_rdnxt(pc, r), 1);
  EXPECT_EQ(r->count, 301u);
  EXPECT_EQ(text_of(), "x    ");
  EXPECT_EQ(uint32_t(r->attrs.get()[1]), 0u);
  EXPECT_EQ(uint32_t(r->attrs.get()[2]), kPmSubstRead);
  EXPECT_EQ(uint32_t(r->attrs.get()[4]), kPmUnderline);  // a run past the text
  EXPECT_EQ(uint32_t(r->attrs.get()[5]), 0u);
  for (size_t l = 0; l < want.size(); ++l) {
    ASSERT_EQ(pm_rdnxt(pc, r), 1);
    EXPECT_EQ(r->action, kPmNewPage);
    EXPECT_EQ(pc->page, l + 2);
    ASSERT_EQ(pm_rdnxt(pc, r), 1);
    ASSERT_EQ(text_of(), want[l].text) << "line " << l;
    for (size_t c = 0; c < want[l].attrs.size(); ++c) ASSERT_EQ(uint32_t(r->attrs.get()[c]), want[l].attrs[c]) << l << ":" << c;
  }
  EXPECT_EQ(pm_rdnxt(pc, r), 0);
  EXPECT_EQ(pc->status, kPmEof);
  // By page: the first line of that page, backwards and forwards.
  pc->page = 5;
  ASSERT_EQ(pm_read(pc, r), 1);
  EXPECT_EQ(text_of(), want[3].text);
  pc->page = 1;
  ASSERT_EQ(pm_read(pc, r), 1);
  EXPECT_EQ(text_of(), "ab  cd");
  pc->page = 5;
  ASSERT_EQ(pm_read(pc, r), 1);
  pc->page = 5;
  ASSERT_EQ(pm_read(pc, r), 1);
  EXPECT_EQ(text_of(), want[3].text);
  // By line: the line after the 300 blank ones.
  pc->page = 0;
  pc->line = 302;
  ASSERT_EQ(pm_read(pc, r), 1);
  EXPECT_EQ(text_of(), "x    ");
  ASSERT_EQ(pm_close(pc), 1);
  EXPECT_EQ(pm_rdnxt(pc, r), 0);
  EXPECT_EQ(pc->status, kPmNoFile);
}

// The print script of these tests records its arguments and leaves a marker.
class PmScript : public Pm {
 protected:
  std::string args_file() { return dir.sub("args"); }
  void script(const std::string& path) {
    std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s|' \"$a\"; done > '" << args_file() << "'\n";
    chmod(path.c_str(), 0755);
  }
};

TEST_F(PmScript, CfgLinesInOrderAndTheDispositions) {
  Env d("QUVO_PRT_FI_DIR", dir.str());
  script(dir.sub("rec.sh"));
  Env s("QUVO_PRT_SCRIPT", dir.sub("rec.sh"));
  // KEEP: the .cfg, and no script run. Empty SAVE becomes SCRATCH; values
  // out of range are corrected; a control byte in a value is a blank.
  PmCtl* pc = ctl();
  std::string name = bld(pc);
  pc->mode = kPmKeep;
  pc->copies = 255;
  pc->notify = 1;
  pc->format.set("WIDE");
  pc->form_ctl.set("a\n-mode=SPOOL");
  pc->printer_ctl.set("b\x85-mode=SPOOL\x9f\x7f");
  pc->print_date.day = 739000;
  pc->print_date.hundredths = 4500123;
  ASSERT_EQ(pm_cleanup(pc), 1);
  EXPECT_FALSE(fs::exists(args_file()));
  EXPECT_EQ(slurp(dir.sub(name + ".cfg")),
            "-mode=KEEP\n-disposition=SCRATCH\n-copies=1\n-notify=Yes\n-banner=No\n-format=WIDE\n-priority=\n"
            "-date=2024042412300123\n-user=" + std::string(os_uid()) +
                "\n-printer_name=\n-printer_id=\n-printer_ctl=b -mode=SPOOL\n-printer_queue=\n-form_name=\n-form_id=\n"
                "-form_ctl=a -mode=SPOOL\n-rpt_options=\n");
  EXPECT_EQ(pm_cleanup(pc), 0);
  EXPECT_EQ(pc->status, kPmNotOpen);
  // A SAVE with lines stays SAVE; the script runs.
  pc = ctl();
  name = bld(pc);
  pm_write(pc, req(kPmAdvance, 1, "x"));
  ASSERT_EQ(pm_cleanup(pc), 1);
  EXPECT_NE(slurp(dir.sub(name + ".cfg")).find("-disposition=SAVE\n"), std::string::npos);
  EXPECT_EQ(slurp(args_file()), "-config=" + dir.sub(name) + ".cfg|" + dir.sub(name) + "|");
  // Not printed: the file is gone and no .cfg is written.
  fs::remove(args_file());
  pc = ctl();
  name = bld(pc);
  pc->print = 0;
  ASSERT_EQ(pm_cleanup(pc), 1);
  EXPECT_FALSE(fs::exists(dir.sub(name)));
  EXPECT_FALSE(fs::exists(dir.sub(name + ".cfg")));
  EXPECT_FALSE(fs::exists(args_file()));
  // The .cfg name is claimed with the file: a name whose .cfg someone else
  // took first is passed over, and the claim is written only while it is
  // the same regular file (not a directory, nor a link, put in its place).
  dir.write("PRTFI002.cfg", "");  // the next free name's (the unprinted one's is free again)
  pc = ctl();
  EXPECT_EQ(bld(pc), "PRTFI003");
  EXPECT_FALSE(fs::exists(dir.sub("PRTFI002")));
  EXPECT_TRUE(fs::exists(dir.sub("PRTFI003.cfg")));
  struct Swap {
    std::function<void(const std::string&)> put;
    uint32_t status;
  };
  dir.write("victim", "mine");
  for (const Swap& k : {Swap{[](const std::string& p) { fs::create_directory(p); }, kPmCfgFailed + EISDIR},
                        Swap{[&](const std::string& p) { fs::create_symlink(dir.sub("victim"), p); },
                             kPmCfgFailed + ELOOP}}) {
    fs::remove(dir.sub(pc->name.str() + ".cfg"));
    k.put(dir.sub(pc->name.str() + ".cfg"));
    EXPECT_EQ(pm_cleanup(pc), 0);
    EXPECT_EQ(pc->status, k.status);
    EXPECT_FALSE(fs::exists(args_file()));
    pc = ctl();
    bld(pc);
  }
  EXPECT_EQ(slurp(dir.sub("victim")), "mine");
}

// A full disk: the write that finds the buffer full fails, the buffer never
// fills past its 8192 bytes, and the report is never printed.
TEST_F(PmScript, AFileThatCannotBeWrittenIsNeverPrinted) {
  Env d("QUVO_PRT_FI_DIR", dir.str());
  script(dir.sub("rec.sh"));
  Env s("QUVO_PRT_SCRIPT", dir.sub("rec.sh"));
  PmCtl* pc = ctl();
  std::string name = bld(pc);
  PmStream* st = pc->stream.get();
  int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  ASSERT_EQ(dup2(full, st->fd), int(st->fd));
  ::close(full);
  std::string text(8191, 'x');
  EXPECT_EQ(pm_write(pc, req(kPmAdvance, 1, text)), 1);  // 8192 bytes: the buffer's own
  EXPECT_EQ(uint32_t(st->fill), 8192u);
  EXPECT_EQ(pm_write(pc, req(kPmAdvance, 1, "y")), 0);
  EXPECT_EQ(int(st->flag), ENOSPC);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pm_write(pc, req(kPmAdvance, 1, text)), 0);
    EXPECT_LE(uint32_t(st->fill), 8192u);
    EXPECT_EQ(int(st->flag), ENOSPC);
  }
  EXPECT_EQ(pm_cleanup(pc), 0);
  EXPECT_EQ(pc->status, kPmWriteFailed + ENOSPC);
  EXPECT_TRUE(fs::exists(dir.sub(name)));
  EXPECT_FALSE(fs::exists(dir.sub(name + ".cfg")));
  EXPECT_FALSE(fs::exists(args_file()));
}

// Other members of the group write in the data directory: its script runs
// only when none of them can have put it there or changed it.
TEST_F(PmScript, TheDataDirectorysScriptRunsOnlyWhenNoOtherUserCanHaveWrittenIt) {
  std::string data = dir.sub("data"), sp = data + "/quvo_print";
  fs::create_directories(data);
  Env q("QUVOPATH", data);
  Env d("QUVO_PRT_FI_DIR", dir.str());
  auto refused = [](OsTrust t) { return kPmScriptRefused + uint32_t(t); };
  struct Case {
    const char* what;
    std::function<void()> make;
    uint32_t status;
  };
  std::vector<Case> cases = {
      {"the owner's in the sticky group directory", [&] { script(sp); }, 0},
      {"writable by the group", [&] { script(sp); chmod(sp.c_str(), 0775); }, refused(OsTrust::Writable)},
      {"a link to a sound script",
       [&] { script(dir.sub("real.sh")); fs::create_symlink(dir.sub("real.sh"), sp); }, refused(OsTrust::NotRegular)},
      {"missing", [] {}, refused(OsTrust::Missing)},
      {"in a group directory without the sticky bit", [&] { script(sp); chmod(data.c_str(), 0770); },
       refused(OsTrust::Directory)},
  };
  if (geteuid() == 0)
    cases.push_back({"another user's", [&] { script(sp); ASSERT_EQ(chown(sp.c_str(), 4321, gid_t(-1)), 0); },
                     refused(OsTrust::Owner)});
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    fs::remove(sp);
    fs::remove(args_file());
    chmod(data.c_str(), 01770);
    k.make();
    PmCtl* pc = ctl();
    std::string name = bld(pc);
    pm_write(pc, req(kPmAdvance, 1, "x"));
    EXPECT_EQ(pm_cleanup(pc), k.status ? 0 : 1);
    EXPECT_EQ(pc->status, k.status);
    EXPECT_EQ(fs::exists(args_file()), k.status == 0);
    EXPECT_TRUE(fs::exists(dir.sub(name + ".cfg")));
  }
}

TEST_F(PmScript, OddPathsReachTheScriptAsTwoArgumentsAndRunNoCode) {
  std::string odd = "a b 'q' \"d\"; touch pwned $(touch pwned) `touch pwned`";
  std::string data = dir.sub("data " + odd), prt = dir.sub("prt " + odd);
  fs::create_directories(data);
  fs::create_directories(prt);
  std::string sname = "print " + odd;
  script(data + "/" + sname);
  Env q("QUVOPATH", data);
  Env d("QUVO_PRT_FI_DIR", prt);
  Env s("QUVO_PRT_SCRIPT", sname);  // relative: in the data directory
  PmCtl* pc = ctl();
  std::string name = bld(pc);
  ASSERT_FALSE(name.empty());
  ASSERT_EQ(pm_cleanup(pc), 1);
  std::string path = prt + "/" + name;
  EXPECT_EQ(slurp(args_file()), "-config=" + path + ".cfg|" + path + "|");
  EXPECT_FALSE(fs::exists(dir.sub("pwned")));
  EXPECT_FALSE(fs::exists("pwned"));
  // An absolute script is used as it is.
  fs::remove(args_file());
  script(prt + "/abs");
  Env a("QUVO_PRT_SCRIPT", prt + "/abs");
  pc = ctl();
  name = bld(pc);
  ASSERT_EQ(pm_cleanup(pc), 1);
  EXPECT_EQ(slurp(args_file()), "-config=" + prt + "/" + name + ".cfg|" + prt + "/" + name + "|");
}

}  // namespace
