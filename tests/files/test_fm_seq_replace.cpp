// Sequential files read through their read window see every write of the
// same open; fm_replace of sequential files renames the source over the
// target, which is never missing meanwhile.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "files/fm.h"
#include "foundation/bi.h"

namespace {

class FmSeqReplace : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quvo-fmsr-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("QUVOPATH", dir.c_str(), 1);
    unsetenv("QUVO_PATH_MOD");
    bi_init_com();
    fms_init();
    pool = mm_create_pool(nullptr, 0, 0);
    buf = static_cast<uint8_t*>(MM_ALLOC(pool, FM_MAX_REC + 1));
  }
  void TearDown() override {
    fm_shutdown();
    mm_destroy_pool(pool);
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
  }
  FmFdb fdb(const char* name) {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, FM_MAX_REC, 1, nullptr, 0);
    INIT_DB_PATH(&f, "", "ABC", "00", name, FM_PT_MOD);
    f.options = FM_OPT_NO_SYSDIR;
    return f;
  }
  void put(FmArb* a, uint32_t tag, uint16_t len) {
    std::memset(buf, int(tag & 0xFF), len);
    rec::view<rec::U32>(buf) = tag;
    a->rec.set(buf);
    a->rec_len = len;
    ASSERT_EQ(fm_write(a), 1) << a->status;
  }
  uint32_t next(FmArb* a) {
    a->rec.set(buf);
    a->rec_len = FM_MAX_REC;
    a->op = 0;
    return fm_rdnxt(a) ? uint32_t(rec::view<rec::U32>(buf)) : 0u;
  }
  std::string dir;
  MmPool pool = 0;
  uint8_t* buf = nullptr;
};

TEST_F(FmSeqReplace, ReadsAfterWritesOfTheSameOpenSeeThem) {
  FmFdb f = fdb("WIN");
  ASSERT_EQ(FM_CREATE(&f, 0, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
  FmArb* a = f.handle.get();
  // Records that span several read windows, then one more after reading.
  for (uint32_t i = 1; i <= 40; ++i) put(a, i, uint16_t(1000 + 97 * i));
  a->op = FM_OP_FIRST;
  ASSERT_EQ(fm_start(a), 1);
  for (uint32_t i = 1; i <= 40; ++i) {
    ASSERT_EQ(next(a), i);
    EXPECT_EQ(a->len_read, 1000 + 97 * i);
    EXPECT_EQ(buf[a->len_read - 1], uint8_t(i));
  }
  EXPECT_EQ(next(a), 0u);
  put(a, 41, 8);
  a->op = FM_OP_FIRST;
  ASSERT_EQ(fm_start(a), 1);
  for (uint32_t i = 1; i <= 41; ++i) ASSERT_EQ(next(a), i);
  // A rewrite in place is read back, not the window's old bytes.
  a->op = FM_OP_RID | FM_OP_HOLD;
  a->rid = 41;
  a->rec.set(buf);
  a->rec_len = FM_MAX_REC;
  ASSERT_EQ(fm_read(a), 1);
  rec::view<rec::U32>(buf) = 4141u;
  a->rec_len = 8;
  a->op = 0;
  ASSERT_EQ(fm_rewrite(a), 1) << a->status;
  a->op = FM_OP_RID;
  a->rid = 41;
  a->rec_len = FM_MAX_REC;
  ASSERT_EQ(fm_read(a), 1);
  EXPECT_EQ(uint32_t(rec::view<rec::U32>(buf)), 4141u);
  FM_CLOSE(a, FM_CL_KEEP);
}

TEST_F(FmSeqReplace, ReplaceRenamesOverTheTarget) {
  FmFdb t = fdb("TARGET"), s = fdb("SOURCE");
  ASSERT_EQ(FM_CREATE(&t, 0, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
  put(t.handle.get(), 1, 8);
  FM_CLOSE(t.handle.get(), FM_CL_KEEP);
  ASSERT_EQ(FM_CREATE(&s, 0, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
  put(s.handle.get(), 2, 8);
  FM_CLOSE(s.handle.get(), FM_CL_KEEP);
  std::string tp, sp;
  ASSERT_EQ(fm_os_path(&t, &tp), 1);
  ASSERT_EQ(fm_os_path(&s, &sp), 1);
  struct stat before;
  ASSERT_EQ(stat(sp.c_str(), &before), 0);
  t = fdb("TARGET");
  s = fdb("SOURCE");
  ASSERT_EQ(fm_replace(&t, &s, 0), 1) << t.status;
  struct stat after;
  ASSERT_EQ(stat(tp.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // the source itself, renamed
  EXPECT_NE(stat(sp.c_str(), &after), 0);
  t = fdb("TARGET");
  ASSERT_EQ(FM_OPEN(&t, 0, FM_OPT_NO_SYSDIR, 1, 15), 1);
  EXPECT_EQ(next(t.handle.get()), 2u);
  FM_CLOSE(t.handle.get(), 0);
  // Without a target the rename simply happens.
  FmFdb n = fdb("NEW"), m = fdb("TARGET");
  ASSERT_EQ(fm_replace(&n, &m, 0), 1) << n.status;
}

}  // namespace
