// The file manager's shutdown gives back its own pool; a later start makes a
// new one.
#include <gtest/gtest.h>

#include "files/fm.h"
#include "files/fmint.h"
#include "foundation/bi.h"
#include "foundation/mm.h"

TEST(FmShutdown, FreesTheFileManagersPool) {
  bi_init_com();
  fms_init();
  MmPool own = fmi::pool();
  ASSERT_GE(mm_pool_scope(own), 0);
  size_t pools = mm_pool_count();
  fm_shutdown();
  EXPECT_EQ(mm_pool_scope(own), -1);
  EXPECT_EQ(mm_pool_count(), pools - 1);
  fms_init();
  EXPECT_GE(mm_pool_scope(fmi::pool()), 0);
  fm_shutdown();
}
