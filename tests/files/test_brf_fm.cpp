// The native back end behind the record interface: the contract suite, and
// what only disk files shared between processes show.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "files/brf.h"
#include "files/brf_support.h"
#include "files/fm_contract.h"
#include "files/fmcat.h"
#include "files/fm_check.h"
#include "foundation/bi.h"
#include "foundation/la.h"

namespace {
FmBackendParam native_param() {
  FmBackendParam p;
  p.name = "native";
  p.fclass = FM_CLASS_DISK;
  p.memory = false;
  p.teardown = [] { EXPECT_EQ(brf_open_files(), 0u); };
  return p;
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(Native, FmContract, ::testing::Values(native_param()),
                         [](const auto& i) { return std::string(i.param.name); });

namespace {

struct NativeFm : ::testing::Test {
  BrfTempDir dir;
  MmPool pool = 0;
  void SetUp() override {
    setenv("QUVOPATH", dir.path.c_str(), 1);
    fms_init();
    pool = mm_create_pool(" BRFFM     ", 0, 0);
  }
  void TearDown() override {
    fm_shutdown();
    mm_destroy_pool(pool);
    EXPECT_EQ(brf_open_files(), 0u);
  }
  // 40-byte records; key 0 the code (10), key 1 (duplicates) a u16 at 10.
  FmFdb describe(int seg1_len = 2, uint32_t s0 = 0xFFFFFFFFu, uint32_t s1 = 0xFFFFFFFFu) {
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, 2 * sizeof(FmKdb)));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, 2 * sizeof(FmSdb)));
    init_sdb_func(&sdb[0], 1, 0, 10, FM_SEG_ALPHA, '+');
    init_sdb_func(&sdb[1], 2, 10, seg1_len, FM_SEG_BINARY, '-');
    INIT_KDB(&kdb[0], 0, '+', 8, &sdb[0], 1);
    INIT_KDB(&kdb[1], 1, '+', 9, &sdb[1], 1);
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, 40, 0, kdb, 2);
    INIT_DB_PATH(&f, "TST", "TAP", "01", "STAMPED", FM_PT_DATA);
    f.stamp[0] = s0;
    f.stamp[1] = s1;
    return f;
  }
  uint32_t open(FmFdb f, uint32_t extra = 0) {
    if (!FM_OPEN(&f, com.depth, FM_OPT_BASE | FM_OPT_NO_SYSDIR | extra, 15, 15)) return f.status;
    FM_CLOSE(f.handle.get(), 0);
    return 0;
  }
};

}  // namespace

TEST_F(NativeFm, StructureStampsAndKeysAreCheckedAtOpen) {
  FmFdb f = describe(2, 11, 22);
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) << f.status;
  FmArb* a = f.handle.get();
  FmName nm;
  ASSERT_TRUE(fm_nam(a, &nm));
  std::string path(nm.text, nm.len);
  EXPECT_TRUE(brf_is_native_file(path)) << path;
  EXPECT_TRUE(brf_exists(brf_index_path(path)));
  ASSERT_TRUE(FM_CLOSE(a, 0));
  EXPECT_EQ(open(describe(2, 11, 22)), 0u);
  EXPECT_EQ(open(describe(2, 11, 23)), FM_ST_STRUCT);
  EXPECT_EQ(open(describe(2, 11, 23), FM_OPT_NO_STRUCT), 0u);
  EXPECT_EQ(open(describe(2)), 0u);  // all ones: not checked
  // Keys the file does not have.
  EXPECT_EQ(open(describe(4, 11, 22)), FM_ST_STRUCT);
  // Described without keys, the file is found and describes itself.
  FmFdb bare;
  INIT_FDB(&bare, FM_CLASS_DISK, 40, 0, nullptr, 0);
  INIT_DB_PATH(&bare, "TST", "TAP", "01", "STAMPED", FM_PT_DATA);
  ASSERT_TRUE(FM_OPEN(&bare, com.depth, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) << bare.status;
  FmFile* file = bare.handle->file.get();
  EXPECT_EQ(int(file->fdb.key_count), 2);
  EXPECT_EQ(int(file->fdb.org), int(FM_ORG_KEYED));
  EXPECT_EQ(file->fdb.stamp[1].get(), 22u);
  ASSERT_TRUE(file->kdb);
  EXPECT_EQ(int(file->kdb.get()[1].flags & FM_KEY_DUP), int(FM_KEY_DUP));
  EXPECT_EQ(int(file->kdb.get()[1].segs.get()[0].order), int('-'));
  EXPECT_TRUE(FM_CLOSE(bare.handle.get(), 0));
}

TEST_F(NativeFm, RenameIsRefusedWhileTheFileIsOpen) {
  FmFdb f = describe();
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15));
  FmName nm;
  ASSERT_TRUE(fm_nam(f.handle.get(), &nm));
  std::string from(nm.text, nm.len), to = dir.file("RENAMED");
  EXPECT_EQ(brf_rename(from, to), FM_ST_NO_RENAME);
  ASSERT_TRUE(FM_CLOSE(f.handle.get(), 0));
  EXPECT_EQ(brf_rename(from, to), 0u) << brf_error();
  EXPECT_FALSE(brf_exists(from));
  EXPECT_TRUE(brf_exists(brf_index_path(to)));
  BrfFile* bf;
  ASSERT_EQ(brf_open(to, false, &bf), 0u) << brf_error();
  brf_close(bf, false);
}

namespace {
ino_t inode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}
std::string os_name(FmArb* a) {
  FmName nm;
  return fm_nam(a, &nm) ? std::string(nm.text, nm.len) : "";
}
}  // namespace

// A native file that its SYSDIR entry places in another directory is found
// there by every operation: an open that describes it without keys (and so
// has to look at the file to choose its back end), locate, scratch.
TEST_F(NativeFm, SysdirPlacementHoldsForEveryOperation) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb sd;
  INIT_DSYSDIR_FDB(&sd, kdb, sdb);
  ASSERT_TRUE(FM_CREATE(&sd, 0, 0, FM_OPT_NO_SYSDIR, 15, 15)) << sd.status << la_cur_sys_err();
  FmArb* s = sd.handle.get();
  auto* e = static_cast<FmSysdirRec*>(MM_ALLOC(pool, sizeof(FmSysdirRec)));
  std::memset(static_cast<void*>(e), ' ', sizeof *e);
  e->db.set("TST");
  e->app.set("TAP");
  e->ver.set("  ");
  e->name.set("STAMPED");
  e->dir_opts = 0;
  std::string placed = dir.file("placed");
  e->dir.set(placed);
  e->option = '1';
  s->rec.set(reinterpret_cast<uint8_t*>(e));
  s->op = 0;
  ASSERT_TRUE(fm_write(s)) << s->status;

  FmFdb f = describe();
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_BASE, 15, 15)) << f.status << la_cur_sys_err();
  EXPECT_EQ(os_name(f.handle.get()), placed + "/STAMPED");
  uint8_t* r = static_cast<uint8_t*>(MM_ALLOC(pool, 40));
  std::memset(r, ' ', 40);
  std::memcpy(r, "ONE", 3);
  FmArb* a = f.handle.get();
  a->rec.set(r);
  a->op = 0;
  ASSERT_TRUE(fm_write(a));
  ASSERT_TRUE(FM_CLOSE(a, 0));

  FmFdb bare;
  INIT_FDB(&bare, FM_CLASS_DISK, 40, 0, nullptr, 0);
  INIT_DB_PATH(&bare, "TST", "TAP", "01", "STAMPED", FM_PT_DATA);
  FmFdb loc = bare;
  EXPECT_TRUE(fm_locate(&loc)) << loc.status;
  ASSERT_TRUE(FM_OPEN(&bare, com.depth, FM_OPT_BASE, 15, 15)) << bare.status << la_cur_sys_err();
  EXPECT_EQ(int(bare.handle->file->fdb.key_count), 2);
  EXPECT_EQ(os_name(bare.handle.get()), placed + "/STAMPED");
  a = bare.handle.get();
  a->rec.set(r);
  a->key_no = 0;
  a->op = FM_OP_EQUAL;
  EXPECT_TRUE(fm_read(a)) << a->status;
  FmFdb busy = bare;
  EXPECT_TRUE(fails_with(FM_SCRATCH(&busy, 0), busy, FM_ST_SCRATCH_OPEN));
  ASSERT_TRUE(FM_CLOSE(a, 0));
  FmFdb scr = bare;
  EXPECT_TRUE(FM_SCRATCH(&scr, 0)) << scr.status;
  EXPECT_FALSE(brf_exists(placed + "/STAMPED"));
  EXPECT_FALSE(brf_exists(brf_index_path(placed + "/STAMPED")));
  EXPECT_TRUE(fails_with(fm_locate(&loc), loc, FM_ST_NOT_FOUND));
}

// fm_replace of native files described without keys renames the source onto
// the target (the same data file, not a copy), and the target keeps the
// source's keys.
TEST_F(NativeFm, ReplaceByKeylessDescriptionsRenames) {
  auto make = [&](const char* name, const char* code) {
    FmFdb f = describe();
    f.name.set(name);
    ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) << f.status;
    uint8_t* r = static_cast<uint8_t*>(MM_ALLOC(pool, 40));
    std::memset(r, ' ', 40);
    std::memcpy(r, code, std::strlen(code));
    FmArb* a = f.handle.get();
    a->rec.set(r);
    a->op = 0;
    ASSERT_TRUE(fm_write(a));
    ASSERT_TRUE(FM_CLOSE(a, 0));
  };
  auto bare = [&](const char* name) {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, 40, 0, nullptr, 0);
    INIT_DB_PATH(&f, "TST", "TAP", "01", name, FM_PT_DATA);
    f.options = FM_OPT_BASE | FM_OPT_NO_SYSDIR;
    return f;
  };
  for (bool target_there : {true, false}) {
    make("NEWDATA", "NEW");
    if (target_there) make("OLDDATA", "OLD");
    std::string src = dir.file("data/TST/TAP01/NEWDATA");
    ino_t ino = inode_of(src);
    ASSERT_NE(ino, 0u);
    FmFdb t = bare("OLDDATA"), s = bare("NEWDATA");
    ASSERT_TRUE(fm_replace(&t, &s, 0)) << t.status << la_cur_sys_err();
    EXPECT_EQ(inode_of(dir.file("data/TST/TAP01/OLDDATA")), ino) << target_there;
    EXPECT_FALSE(brf_exists(src));
    FmFdb o = bare("OLDDATA");
    ASSERT_TRUE(FM_OPEN(&o, com.depth, o.options, 15, 15)) << o.status;
    EXPECT_EQ(int(o.handle->file->fdb.key_count), 2);
    ASSERT_TRUE(FM_CLOSE(o.handle.get(), 0));
  }
}

// In one process as across processes, an exclusive open excludes every other
// open and is excluded by any.
TEST_F(NativeFm, ExclusiveOpensWithinOneProcess) {
  FmFdb f = describe();
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) << f.status;
  auto open = [&](int share) -> uint32_t {
    FmFdb o = describe();
    return FM_OPEN(&o, com.depth, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, share) ? 0 : o.status;
  };
  EXPECT_EQ(open(1), FM_ST_BUSY);
  ASSERT_TRUE(FM_CLOSE(f.handle.get(), 0));
  FmFdb x = describe();
  ASSERT_TRUE(FM_OPEN(&x, com.depth, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 0)) << x.status;
  EXPECT_EQ(open(15), FM_ST_BUSY);
  EXPECT_EQ(open(1), FM_ST_BUSY);
  ASSERT_TRUE(FM_CLOSE(x.handle.get(), 0));
  EXPECT_EQ(open(15), 0u);
}

// A memory work file replaces a native file by a copy: the native file then
// holds the work file's records under the work file's keys, and the work
// file is gone. A source the replace cannot take (an unknown file class)
// or one that is not there changes nothing.
TEST_F(NativeFm, AMemoryFileReplacesANativeFileByACopy) {
  FmFdb old = describe();
  ASSERT_TRUE(FM_CREATE(&old, com.depth, 0, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) << old.status;
  ASSERT_TRUE(FM_CLOSE(old.handle.get(), 0));
  FmFdb work = describe();
  work.fclass = FM_CLASS_MEMORY;
  work.name.set("WORK");
  work.var = 1;  // records of 21, 22 and 23 bytes, copied at their lengths
  ASSERT_TRUE(FM_CREATE(&work, com.depth, 0, FM_OPT_BASE, 15, 15)) << work.status;
  FmArb* w = work.handle.get();
  uint8_t* r = static_cast<uint8_t*>(MM_ALLOC(pool, 40));
  for (int i = 3; i >= 1; --i) {
    std::memset(r, ' ', 40);
    r[0] = uint8_t('0' + i);
    rec::view<rec::U16>(r + 10).set(uint16_t(i));
    w->rec.set(r);
    w->rec_len = uint16_t(20 + i);
    w->op = 0;
    ASSERT_TRUE(fm_write(w));
  }
  ASSERT_TRUE(FM_CLOSE(w, FM_CL_KEEP));
  FmFdb bad = work;
  bad.fclass = 7;
  FmFdb target = describe();
  target.options = FM_OPT_BASE | FM_OPT_NO_SYSDIR;
  EXPECT_TRUE(fails_with(fm_replace(&target, &bad, 0), target, FM_ST_SYS));
  FmFdb still = describe();
  EXPECT_TRUE(fm_locate(&still));
  // Nor does a source that is not there: the target stays.
  FmFdb missing = work;
  missing.name.set("NOSUCH");
  EXPECT_TRUE(fails_with(fm_replace(&target, &missing, 0), target, FM_ST_NOT_FOUND));
  EXPECT_TRUE(fm_locate(&still));
  work.options = FM_OPT_BASE;
  ASSERT_TRUE(fm_replace(&target, &work, 0)) << target.status << la_cur_sys_err();
  FmFdb gone = work;
  EXPECT_FALSE(fm_locate(&gone));
  FmFdb o = describe();
  o.var = 1;
  ASSERT_TRUE(FM_OPEN(&o, com.depth, FM_OPT_BASE | FM_OPT_NO_SYSDIR, 15, 15)) << o.status;
  FmArb* a = o.handle.get();
  EXPECT_EQ(os_name(a), dir.file("data/TST/TAP01/STAMPED"));
  a->rec.set(r);
  a->key_no = 1;  // descending u16
  a->op = FM_OP_FIRST;
  ASSERT_TRUE(fm_start(a));
  std::string order;
  a->op = 0;
  while (fm_rdnxt(a)) order += char(r[0]) + std::to_string(a->len_read);
  EXPECT_EQ(order, "323222121");
}
