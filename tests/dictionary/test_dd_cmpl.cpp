// The dictionary compiler over design records of a test application:
// elements, keys, groups, images, stamps, messages and the standalone lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "dictionary/dd_support.h"
#include "support/syserr.h"

using namespace ddt;

namespace {

struct DdCmpl : ::testing::Test {
  DictTempDir dir;
  SysErrCapture errs{SysErrAnswer::Cancel};
  Compiler c;
  void SetUp() override {
    put("INIT_DDOM_FDB", domain("AMOUNT", 1, 2, "9,999.99-"));
    put("INIT_DDOM_FDB", domain("COUNT", 1, 1, "9999"));
    DDomain name = domain("NAME", 4, 1);
    name.dflt_len = 10;
    name.fill.set(".");
    put("INIT_DDOM_FDB", name);
    put("INIT_DDOM_FDB", domain("DAY", 2, 1, "07/06/05"));
    put("INIT_DDOM_FDB", domain("FLAG", 3, 0));
    // a new (empty) application's compiled files do not exist yet
    for (const char* b : {"INIT_DFLD_FDB", "INIT_DREC_FDB", "INIT_DTOKEN_FDB"}) FM_CLOSE(open(b), 0);
  }
  // CUST: a key, a name, an amount, a date and a flag.
  void cust() {
    put("INIT_DREC_FDB", record("CUST"));
    DField k = field("CUST", "CUST ID", 1, "COUNT");
    k.key_kind = 0;
    k.key_no = 0;
    k.key_order.set("+");
    put("INIT_DFLD_FDB", k);
    DField n = field("CUST", "CUST NAME", 2, "NAME");
    n.key_kind = 1;
    n.key_no = 0;
    n.key_dups.set("1");
    n.initial.set("  AB");
    put("INIT_DFLD_FDB", n);
    DField a = field("CUST", "CUST AMOUNT", 3, "AMOUNT");
    a.initial.set("12.5");
    put("INIT_DFLD_FDB", a);
    put("INIT_DFLD_FDB", field("CUST", "CUST DAY", 4, "DAY"));
    put("INIT_DFLD_FDB", field("CUST", "CUST FLAG", 5, "FLAG"));
  }
};

TEST_F(DdCmpl, AFileCompilesIntoElementsKeysAndImages) {
  cust();
  c.run("CUST");
  EXPECT_EQ(c.numbers("CUST"), std::vector<uint32_t>{}) << errs.last();
  EXPECT_EQ(errs.count(), 0u) << errs.last();
  auto es = elems("CUST");
  ASSERT_EQ(es.size(), 5u);
  const DElem* id = elem(es, "CUST ID");
  const DElem* nm = elem(es, "CUST NAME");
  const DElem* am = elem(es, "CUST AMOUNT");
  const DElem* dy = elem(es, "CUST DAY");
  const DElem* fl = elem(es, "CUST FLAG");
  ASSERT_TRUE(id && nm && am && dy && fl);
  // 9999 unsigned binary: 2 bytes; then 10 text; packed 6 digits + 2 = 4 bytes;
  // binary date 4; logic 1
  EXPECT_EQ(id->type, 5);
  EXPECT_EQ(id->length, 2);
  EXPECT_EQ(id->offset, 0);
  EXPECT_EQ(nm->offset, 2);
  EXPECT_EQ(nm->length, 10);
  EXPECT_EQ(am->type, 8);
  EXPECT_EQ(am->length, 4);
  EXPECT_EQ(am->offset, 12);
  EXPECT_EQ(am->decimals, 2);
  EXPECT_EQ(am->sign, '1');
  EXPECT_EQ(dy->type, 7);
  EXPECT_EQ(dy->length, 4);
  EXPECT_EQ(dy->offset, 16);
  EXPECT_EQ(dy->digits, 7);
  EXPECT_EQ(dy->decimals, 5);
  EXPECT_EQ(fl->type, 11);
  EXPECT_EQ(fl->offset, 20);
  EXPECT_EQ(id->key_no, 0);
  EXPECT_EQ(nm->key_no, 1);
  EXPECT_EQ(id->field_no, 1);
  EXPECT_EQ(nm->field_no, 2);
  DFile f;
  ASSERT_TRUE(file_rec("CUST", &f));
  EXPECT_EQ(f.rec_len, 21);
  EXPECT_EQ(f.key_count, 2);
  EXPECT_EQ(f.key_len[0], 2);
  EXPECT_EQ(f.key_len[1], 10);
  EXPECT_EQ(f.seg_count[1], 1);
  EXPECT_EQ(f.key_elem[1], 2u);
  EXPECT_FALSE(dd_stamp_unset(f.cmpl_stamp.data()));
  EXPECT_EQ(std::memcmp(id->cmpl_stamp.data(), f.cmpl_stamp.data(), 8), 0);
  EXPECT_NE(f.area, 0u);
  EXPECT_EQ(id->area, f.area);
  // the images: name justified left, AB as typed from position 0
  auto ini = image("CUST", 1), nul = image("CUST", 2);
  ASSERT_EQ(ini.size(), 21u);
  ASSERT_EQ(nul.size(), 21u);
  EXPECT_EQ(std::string(ini.begin() + 2, ini.begin() + 12), "AB........");
  uint8_t packed[4] = {0x00, 0x01, 0x25, 0x0C};
  EXPECT_EQ(std::memcmp(&ini[12], packed, 4), 0);
  EXPECT_EQ(std::vector<uint8_t>(nul.begin() + 16, nul.begin() + 20), std::vector<uint8_t>(4, 0xFF));
  // the FIELD records got their key numbers, RECORD the compiled head
  for (const DField& x : all<DField>("INIT_DFLD_FDB"))
    if (x.name == std::string_view("CUST NAME")) {
      EXPECT_EQ(x.key_no, 1);
    }
  for (const DRecord& x : all<DRecord>("INIT_DREC_FDB")) EXPECT_EQ(x.area, f.area);
}

}  // namespace
