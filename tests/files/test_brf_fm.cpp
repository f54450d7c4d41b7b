// The native back end behind the record interface: the contract suite, and
// what only disk files shared between processes show.
#include <gtest/gtest.h>

#include "files/brf.h"
#include "files/brf_support.h"
#include "files/fm_contract.h"
#include "foundation/bi.h"

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
