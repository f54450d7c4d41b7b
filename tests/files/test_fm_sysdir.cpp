// SYSDIR is a shared data file: the directories its entries name are kept
// inside the data directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/ut.h"

namespace {

class FmSysdir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quvo-sysdir-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    char out[] = "/tmp/quvo-outside-XXXXXX";
    ASSERT_NE(mkdtemp(out), nullptr);
    outside = out;
    setenv("QUVOPATH", dir.c_str(), 1);
    unsetenv("QUVO_PATH_DATA");
    bi_init_com();
    fms_init();
    pool = mm_create_pool(" FMSYSDIRT", 0, 0);
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
    FmFdb sd;
    INIT_DSYSDIR_FDB(&sd, kdb, sdb);
    ASSERT_TRUE(FM_CREATE(&sd, 0, 0, FM_OPT_NO_SYSDIR, 15, 15)) << sd.status << la_cur_sys_err();
    sysdir = sd.handle.get();
    entry = static_cast<FmSysdirRec*>(MM_ALLOC(pool, sizeof(FmSysdirRec)));
  }
  void TearDown() override {
    fm_shutdown();
    mm_destroy_pool(pool);
    (void)!std::system(("rm -rf '" + dir + "' '" + dir + "x' '" + outside + "'").c_str());
  }
  // An entry placing file NAME of application APP (database DB1) in d.
  void place(const char* name, const std::string& d) {
    std::memset(static_cast<void*>(entry), ' ', sizeof *entry);
    entry->db.set("DB1");
    entry->app.set("APP");
    entry->ver.set("  ");
    entry->name.set(name);
    entry->dir_opts = 0;
    entry->dir.set(d);
    entry->option = '1';
    sysdir->rec.set(reinterpret_cast<uint8_t*>(entry));
    sysdir->op = 0;
    ASSERT_TRUE(fm_write(sysdir)) << sysdir->status;
  }
  FmFdb seq(const char* name) {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, 100, 1, nullptr, 0);
    INIT_DB_PATH(&f, "DB1", "APP", "01", name, FM_PT_DATA);
    return f;
  }
  std::string path_of(const char* name) {
    FmFdb f = seq(name);
    std::string p;
    return fm_os_path(&f, &p) ? p : "refused " + std::to_string(f.status);
  }

  std::string dir, outside;
  MmPool pool = 0;
  FmArb* sysdir = nullptr;
  FmSysdirRec* entry = nullptr;
};

TEST_F(FmSysdir, DirectoriesStayInsideTheDataDirectory) {
  // Inside: absolute under QUVOPATH, or relative to it.
  place("INSIDE", dir + "/placed");
  EXPECT_EQ(path_of("INSIDE"), dir + "/placed/INSIDE");
  place("RELATIVE", "shared/ledgers");
  EXPECT_EQ(path_of("RELATIVE"), dir + "/shared/ledgers/RELATIVE");
  // Outside, climbing out, or through a link that leads out: refused, and
  // nothing is made there.
  ASSERT_EQ(::symlink(outside.c_str(), (dir + "/escape").c_str()), 0);
  // (Every one of them names a place under the temporary directories, so that
  // a run without the confinement makes nothing elsewhere.)
  std::string out_name = outside.substr(outside.find_last_of('/') + 1);
  const std::string bad[] = {outside,
                             outside + "/deeper",
                             dir + "/../" + out_name,
                             dir + "/sub/../../" + out_name,
                             dir + "/sub/..",
                             dir + "x",
                             dir + "/escape/deeper",
                             dir + "/escape"};
  int i = 0;
  for (const std::string& d : bad) {
    std::string name = "BAD" + std::to_string(i++);
    place(name.c_str(), d);
    EXPECT_EQ(path_of(name.c_str()), "refused " + std::to_string(FM_ST_SYS)) << d;
    FmFdb f = seq(name.c_str());
    EXPECT_FALSE(FM_CREATE(&f, com.depth, 0, 0, 15, 15)) << d;
    EXPECT_EQ(f.status, FM_ST_SYS) << d;
    EXPECT_NE(std::string(la_cur_sys_err()).find("SYSDIR"), std::string::npos) << la_cur_sys_err();
    FmFdb s = seq(name.c_str());
    EXPECT_FALSE(FM_SCRATCH(&s, 0)) << d;
  }
  struct stat st;
  EXPECT_NE(::stat((outside + "/BAD0").c_str(), &st), 0);
  EXPECT_NE(::stat((outside + "/deeper").c_str(), &st), 0);
}

// A file the SYSDIR entry points at that is not the engine's is neither
// scratched nor renamed.
TEST_F(FmSysdir, OnlyTheEnginesOwnFilesAreScratched) {
  place("NOTES", dir + "/placed");
  ASSERT_EQ(::mkdir((dir + "/placed").c_str(), 0700), 0);
  std::string notes = dir + "/placed/NOTES";
  FILE* out = std::fopen(notes.c_str(), "w");
  ASSERT_NE(out, nullptr);
  std::fputs("a user's notes", out);
  std::fclose(out);
  FmFdb s = seq("NOTES");
  EXPECT_FALSE(FM_SCRATCH(&s, 0));
  FmFdb from = seq("NOTES"), to = seq("MOVED");
  EXPECT_FALSE(fm_backend(FM_BE_SEQ)->rename(&from, &to));
  struct stat st;
  EXPECT_EQ(::stat(notes.c_str(), &st), 0);
}

}  // namespace
