// Opening an application's ELEMENT dictionary file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "language/ii.h"

namespace {

class IiDelem : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quvo-iidelem-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("QUVOPATH", dir.c_str(), 1);
    unsetenv("QUVO_PATH_DATA");
    bi_init_com();
    fms_init();
    pool = mm_create_pool(" IIDELEMTST", 0, 0);
  }
  void TearDown() override {
    fm_shutdown();
    mm_destroy_pool(pool);
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
  }
  // Creates the ELEMENT file of app/ver with one record named name.
  void make(const char* app, const char* ver, const char* name) {
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
    FmFdb fdb;
    INIT_DELEM_FDB(&fdb, kdb, sdb, app, ver);
    ASSERT_EQ(FM_CREATE(&fdb, 0, 0, FM_OPT_NO_SYSDIR, 3, 15), 1) << fdb.status;
    FmArb* a = fdb.handle.get();
    auto* rec = static_cast<uint8_t*>(MM_ALLOC(pool, 592));
    std::memset(rec, ' ', 592);
    std::memcpy(rec + 5, name, std::strlen(name));
    a->rec.set(rec);
    a->rec_len = 0;
    ASSERT_EQ(fm_write(a), 1) << a->status;
    ASSERT_EQ(FM_CLOSE(a, 0), 1);
  }
  std::string dir;
  MmPool pool = 0;
};

TEST_F(IiDelem, OpensTheApplicationsFileAndSystemApplicationsUnder00) {
  make("ABC", "02", "CUSTOMER NAME");
  make("0LA", "00", "A");
  FmArb* a = ii_open_delem_fi("ABC", "02");
  ASSERT_NE(a, nullptr);
  auto* rec = static_cast<uint8_t*>(MM_ALLOC(pool, 592));
  PROTO_FULL(a, 0, rec);
  ASSERT_EQ(fm_rdnxt(a), 1) << a->status;
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rec) + 5, 13), "CUSTOMER NAME");
  EXPECT_EQ(FM_CLOSE(a, 0), 1);
  // A system application's dictionary is version "00" whatever is asked.
  FmArb* s = ii_open_delem_fi("0LA", "07");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(FM_CLOSE(s, 0), 1);
  // No such dictionary: null.
  EXPECT_EQ(ii_open_delem_fi("XYZ", "01"), nullptr);
}

}  // namespace
