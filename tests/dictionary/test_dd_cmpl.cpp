// The dictionary compiler over design records of a test application:
// elements, keys, groups, images, stamps, messages and the standalone lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "dictionary/dd_support.h"
#include "foundation/cv.h"
#include "support/syserr.h"

using namespace ddt;

namespace {

// The domains of the test application; a new application's compiled files
// do not exist yet.
void domains() {
  put("INIT_DDOM_FDB", domain("AMOUNT", 1, 2, "9,999.99-"));
  put("INIT_DDOM_FDB", domain("COUNT", 1, 1, "9999"));
  DDomain name = domain("NAME", 4, 1);
  name.dflt_len = 10;
  name.fill.set(".");
  put("INIT_DDOM_FDB", name);
  put("INIT_DDOM_FDB", domain("DAY", 2, 1, "07/06/05"));
  put("INIT_DDOM_FDB", domain("FLAG", 3, 0));
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

struct DdCmpl : ::testing::Test {
  DictTempDir dir;
  SysErrCapture errs{SysErrAnswer::Cancel};
  Compiler c;
  void SetUp() override { domains(); }
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
  // a new file's compiled bytes past the design part start at zero
  EXPECT_EQ(f.xlate[0], '\0');
  EXPECT_EQ(f.spare[0], '\0');
  EXPECT_EQ(f.spare[1], '\0');
  EXPECT_EQ(f.key_len[16], 0);
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

namespace {

// One definition made to raise one message.
struct MsgCase {
  const char* what;
  uint32_t number;
  int kind;
  const char* object;
  std::function<void(const std::string& file)> define;
  bool fails = true;
};

// Field names are the file's name and the given one (FIELD names are one
// per application); so is the base or last field of kinds 2-5, unless it
// starts with '='.
DField fld(const std::string& file, const std::string& name, uint32_t no, const std::string& dom,
           std::function<void(DField&)> more = nullptr, int kind = 1) {
  std::string d = kind == 1 ? dom : dom[0] == '=' ? dom.substr(1) : file + " " + dom;
  DField f = field(file, file + " " + name, no, d, kind);
  if (more) more(f);
  return f;
}

TEST_F(DdCmpl, EveryMessageComesFromADefinitionMadeToRaiseIt) {
  // domains of the cases
  DDomain d;
  d = domain("BAD KIND", 5, 1);
  put("INIT_DDOM_FDB", d);
  d = domain("NO MASK", 1, 1);
  put("INIT_DDOM_FDB", d);
  d = domain("SIXTEEN", 1, 2, "9999999999999999");
  put("INIT_DDOM_FDB", d);
  d = domain("ALPHA7", 4, 1);
  d.alpha_kind = 7;
  put("INIT_DDOM_FDB", d);
  d = domain("TOKSTORE", 4, 4);
  put("INIT_DDOM_FDB", d);
  d = domain("EMPTY ALPHA", 4, 1);
  put("INIT_DDOM_FDB", d);
  d = domain("ALPHA2", 4, 1);
  d.dflt_len = 2;
  put("INIT_DDOM_FDB", d);
  d = domain("BADNULL", 1, 1, "999");
  d.null_value.set("1x");
  put("INIT_DDOM_FDB", d);
  d = domain("PACKNULL", 1, 2, "9");
  d.null_value.set("1.234");
  put("INIT_DDOM_FDB", d);
  d = domain("LONGKEY", 4, 1);
  d.dflt_len = 300;
  put("INIT_DDOM_FDB", d);
  d = domain("OWN APP", 0, 0);
  d.src_app.set("TST");
  d.src_name.set("COUNT");
  put("INIT_DDOM_FDB", d);
  d = domain("NO APP", 0, 0);
  d.src_app.set("ZZZ");
  d.src_name.set("COUNT");
  put("INIT_DDOM_FDB", d);
  d = domain("CODE", 1, 1, "99");
  put("INIT_DDOM_FDB", d);
  d = domain("LONG", 4, 1);
  d.dflt_len = 20000;
  put("INIT_DDOM_FDB", d);
  d = domain("SMALL", 1, 1, "9999");
  d.rng_code1 = 4;
  d.rng_value1.set("200");
  put("INIT_DDOM_FDB", d);
  d = domain("TOKENS", 4, 1, "XXX");
  d.token = 1;
  put("INIT_DDOM_FDB", d);
  auto key0 = [](DField& f) { f.key_kind = 0; f.key_no = 0; };
  std::vector<MsgCase> cases = {
      {"entry kind 6", 102660, 3, "E", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "COUNT", nullptr, 6)); }},
      {"no domain", 100230, 3, "E", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "NOWHERE")); }},
      {"domain kind 5", 100100, 2, "BAD KIND", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "BAD KIND")); }},
      {"numeric without mask", 100420, 3, "E", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "NO MASK")); }},
      {"16 digits", 102150, 3, "E", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "SIXTEEN")); }},
      {"alpha kind 7", 100360, 3, "E", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "ALPHA7")); }},
      {"token storage 4", 100560, 2, "TOKSTORE", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "TOKSTORE")); }},
      {"length 0", 102650, 3, "E", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "EMPTY ALPHA")); }},
      {"bad null", 100350, 2, "BADNULL", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "BADNULL")); }},
      {"packed null", 100460, 3, "E", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "PACKNULL")); }},
      {"initial 300 in a byte", 100680, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "CODE", [](DField& f) { f.initial.set("300"); })); }},
      {"initial negative unsigned", 100550, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "CODE", [](DField& f) { f.initial.set("-1"); })); }},
      {"initial with decimals", 100790, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "CODE", [](DField& f) { f.initial.set("1.5"); })); }},
      {"initial bad date", 100380, 3, "E",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "E", 1, "DAY", [](DField& f) { f.initial.set("xx"); }));
         put("INIT_DFLD_FDB", fld(F, "K", 2, "COUNT", [](DField& f) { f.key_kind = 0; }));
       },
       false},
      {"range letters", 100490, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "CODE", [](DField& f) { f.low_given = 1; f.low.set("1a"); })); }},
      {"range digits", 100520, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "CODE", [](DField& f) { f.low_given = 1; f.low.set("123"); })); }},
      {"range decimals", 100510, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "CODE", [](DField& f) { f.low_given = 1; f.low.set("1.5"); })); }},
      {"range negative", 100530, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "CODE", [](DField& f) { f.low_given = 1; f.low.set("-1"); })); }},
      {"range too big", 100680, 3, "E",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "E", 1, "SMALL", [](DField& f) { f.high_given = 1; f.high.set("300"); }));
       }},
      {"date range", 100320, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "DAY", [](DField& f) { f.low_given = 1; f.low.set("20x"); })); }},
      {"alpha range", 100070, 3, "E",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "E", 1, "NAME", [](DField& f) { f.high_given = 1; f.high.set("ABCDEFGHIJKLM"); }));
       }},
      {"range on tokens", 100620, 2, "TOKENS",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "TOKENS", [](DField& f) { f.low_given = 1; f.low.set("A"); })); }},
      {"own application", 100540, 2, "OWN APP", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "OWN APP")); }},
      {"no source application", 100730, 2, "NO APP", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "NO APP")); }},
      {"key twice", 100240, 3, "F",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "E", 1, "COUNT", [](DField& f) { f.key_kind = 1; f.key_no = 3; }));
         put("INIT_DFLD_FDB", fld(F, "F", 2, "COUNT", [](DField& f) { f.key_kind = 1; f.key_no = 3; }));
       }},
      {"key number 16 taken, 17 refused", 100240, 3, "F",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "E", 1, "COUNT", [](DField& f) { f.key_kind = 1; f.key_no = 16; }));
         put("INIT_DFLD_FDB", fld(F, "F", 2, "COUNT", [](DField& f) { f.key_kind = 1; f.key_no = 17; }));
       }},
      {"key number 40", 100240, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "COUNT", [](DField& f) { f.key_kind = 1; f.key_no = 40; })); }},
      {"group key of 300 bytes", 100270, 3, "G",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "G", 2, "E", [](DField& f) { f.key_kind = 1; }, 2));
         put("INIT_DFLD_FDB", fld(F, "E", 3, "LONGKEY"));
       }},
      {"key of 300 bytes", 100660, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "LONGKEY", [](DField& f) { f.key_kind = 1; })); }},
      {"no primary key", 100670, 1, "", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "COUNT")); }},
      {"record past 32767", 100690, 1, "",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "E", 1, "LONG"));
         put("INIT_DFLD_FDB", fld(F, "F", 2, "LONG"));
         put("INIT_DFLD_FDB", fld(F, "G", 3, "COUNT", key0));
       }},
      {"only groups", 100700, 1, "",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "G", 1, "G", nullptr, 2));
         put("INIT_DFLD_FDB", fld(F, "GE", 2, "", nullptr, 3));
       }},
      {"no fields", 100260, 1, "", [&](auto&) {}},
      {"group not ended", 100630, 3, "G",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "G", 2, "K", nullptr, 2));
         put("INIT_DFLD_FDB", fld(F, "E", 3, "COUNT"));
       }},
      {"group's last field missing", 100290, 3, "G",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "G", 2, "NOT THERE", nullptr, 2));
       }},
      {"substring inside a group", 100570, 3, "S",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "NAME", key0));
         put("INIT_DFLD_FDB", fld(F, "G", 2, "E", nullptr, 2));
         put("INIT_DFLD_FDB", fld(F, "S", 3, "K", [](DField& f) { f.offset = 1; f.length = 2; }, 4));
         put("INIT_DFLD_FDB", fld(F, "E", 4, "COUNT"));
       }},
      {"substring past its base", 100580, 3, "S",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "NAME", key0));
         put("INIT_DFLD_FDB", fld(F, "S", 2, "K", [](DField& f) { f.offset = 5; f.length = 10; }, 4));
       }},
      {"substring's occurrences past its base", 100580, 3, "S",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "NAME", key0));
         put("INIT_DFLD_FDB", fld(F, "S", 2, "K", [](DField& f) { f.offset = 5; f.length = 2; f.occurs = 4; }, 4));
       }},
      {"substring of occurrences", 100590, 3, "B",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "NAME", key0));
         put("INIT_DFLD_FDB", fld(F, "B", 2, "NAME", [](DField& f) { f.occurs = 2; }));
         put("INIT_DFLD_FDB", fld(F, "S", 3, "B", [](DField& f) { f.offset = 1; f.length = 2; }, 4));
       }},
      {"synonym of a synonym", 100600, 3, "T",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "NAME", key0));
         put("INIT_DFLD_FDB", fld(F, "S", 2, "K", nullptr, 5));
         put("INIT_DFLD_FDB", fld(F, "T", 3, "S", nullptr, 5));
       }},
      {"synonym with more occurrences", 100610, 3, "S",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "NAME", key0));
         put("INIT_DFLD_FDB", fld(F, "S", 2, "K", [](DField& f) { f.occurs = 3; }, 5));
       }},
      {"base after the entry", 100180, 3, "S",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "S", 1, "K", nullptr, 5));
         put("INIT_DFLD_FDB", fld(F, "K", 2, "NAME", key0));
       }},
      {"base of another file", 100710, 3, "S",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "NAME", key0));
         put("INIT_DFLD_FDB", fld(F, "S", 2, "=CUST NAME", nullptr, 5));
       }},
      {"group on the last field of an open group", 100370, 3, "H",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "G", 2, "H", nullptr, 2));
         put("INIT_DFLD_FDB", fld(F, "H", 3, "E", nullptr, 2));
         put("INIT_DFLD_FDB", fld(F, "E", 4, "COUNT"));
       }},
      {"groups crossing", 100280, 3, "G",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "G", 2, "X", nullptr, 2));
         put("INIT_DFLD_FDB", fld(F, "H", 3, "Y", nullptr, 2));
         put("INIT_DFLD_FDB", fld(F, "X", 4, "COUNT"));
         put("INIT_DFLD_FDB", fld(F, "Y", 5, "COUNT"));
       }},
      {"synonym in a group of its base", 100210, 3, "S",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "G", 2, "S", nullptr, 2));
         put("INIT_DFLD_FDB", fld(F, "B", 3, "COUNT"));
         put("INIT_DFLD_FDB", fld(F, "S", 4, "B", nullptr, 5));
       }},
      {"base not compiled", 100170, 3, "S",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "B", 2, "NOWHERE"));
         put("INIT_DFLD_FDB", fld(F, "S", 3, "B", nullptr, 5));
       }},
      {"usage taken twice", 100440, 3, "F",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "E", 1, "COUNT", [](DField& f) { f.key_kind = 0; f.usage = 2; }));
         put("INIT_DFLD_FDB", fld(F, "F", 2, "COUNT", [](DField& f) { f.usage = 2; }));
       }},
      {"alpha usage 5 taken twice", 100480, 3, "F",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "E", 2, "NAME", [](DField& f) { f.usage = 5; }));
         put("INIT_DFLD_FDB", fld(F, "F", 3, "NAME", [](DField& f) { f.usage = 5; }));
       }},
      {"alpha user stamp taken twice", 100400, 3, "F",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "E", 2, "NAME", [](DField& f) { f.usage = 6; }));
         put("INIT_DFLD_FDB", fld(F, "F", 3, "NAME", [](DField& f) { f.usage = 6; }));
       }},
      {"alpha user stamp shorter than a user id", 100410, 3, "E",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "E", 2, "ALPHA2", [](DField& f) { f.usage = 7; }));
       }},
      {"logic usage 4 after usage 3", 100390, 3, "F",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "COUNT", key0));
         put("INIT_DFLD_FDB", fld(F, "E", 2, "FLAG", [](DField& f) { f.usage = 3; }));
         put("INIT_DFLD_FDB", fld(F, "F", 3, "FLAG", [](DField& f) { f.usage = 4; }));
       }},
      {"binary misaligned", 100055, 3, "C",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "K", 1, "NAME", key0));
         put("INIT_DFLD_FDB", fld(F, "C", 2, "DAY"));
       },
       false},
  };
  int i = 0;
  for (const MsgCase& k : cases) {
    std::string file = "M" + std::to_string(++i);
    SCOPED_TRACE(std::string(k.what) + " in " + file);
    put("INIT_DREC_FDB", record(file));
    k.define(file);
    ASSERT_EQ(c.run(file), 1) << errs.last();
    auto ms = c.msgs(file);
    // the case's message, after those of what it needs to go wrong first
    size_t at = 0;
    while (at < ms.size() && ms[at].number != k.number) ++at;
    ASSERT_LT(at, ms.size()) << "no message " << k.number << ", first " << (ms.empty() ? 0 : ms[0].number);
    EXPECT_EQ(ms[at].kind, k.kind);
    EXPECT_EQ(ms[at].object, k.kind == 1 ? file : k.kind == 2 ? std::string(k.object) : file + " " + k.object);
    for (size_t s = 0; s < ms.size(); ++s) EXPECT_EQ(ms[s].seq, s + 1);
    DMsg1 h = c.head(file);
    EXPECT_EQ(h.count, ms.size());
    int high = 0;
    for (const Msg& m : ms) high = std::max(high, m.type);
    EXPECT_EQ(int(h.highest), high);
    DFile f;
    EXPECT_EQ(file_rec(file, &f), !k.fails) << "a failed file writes nothing";
    EXPECT_EQ(elems(file).empty(), k.fails);
  }
  EXPECT_EQ(errs.count(), 0u) << errs.last();
  // no RECORD; the run's record starts over in the same message file
  c.run("NORECORD");
  c.run("NORECORD");
  EXPECT_EQ(c.head("NORECORD").count, 1u);
  EXPECT_EQ(c.numbers("NORECORD").front(), 100250u);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

// A record's length at the limit compiles; one byte past it, or fields of
// 65535 occurrences of 65535 bytes (whose product passes an int and once
// wrapped round to a record of 9 bytes, the fields' values written far past
// its images), fail the file with 100690 and write nothing.
TEST_F(DdCmpl, RecordLengthAtTheLimitAndPastItHoweverLarge) {
  DDomain one = domain("ONE", 4, 1);
  one.dflt_len = 1;
  put("INIT_DDOM_FDB", one);
  DDomain wide = domain("WIDE", 4, 1);
  wide.dflt_len = 65535;
  put("INIT_DDOM_FDB", wide);
  auto key0 = [](DField& f) { f.key_kind = 0; f.key_no = 0; };
  auto occurs = [](int n) { return [n](DField& f) { f.occurs = uint16_t(n); }; };
  struct Case {
    const char* file;
    std::function<void(const std::string&)> define;
    bool fits;
  };
  const int room = int(FM_MAX_REC) - 10;  // beside the 10-byte key
  std::vector<Case> cases = {
      {"LIMIT", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "A", 1, "ONE", occurs(room))); }, true},
      {"PAST", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "A", 1, "ONE", occurs(room + 1))); }, false},
      {"WRAP",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "A", 1, "WIDE", occurs(65535)));
         put("INIT_DFLD_FDB", fld(F, "B", 2, "WIDE", occurs(2)));
       },
       false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.file);
    put("INIT_DREC_FDB", record(k.file));
    k.define(k.file);
    put("INIT_DFLD_FDB", fld(k.file, "K", 3, "NAME", key0));
    ASSERT_EQ(c.run(k.file), 1) << errs.last();
    DFile f;
    ASSERT_EQ(file_rec(k.file, &f), k.fits);
    if (k.fits) {
      EXPECT_EQ(f.rec_len, FM_MAX_REC);
      EXPECT_TRUE(c.msgs(k.file).empty());
    } else {
      EXPECT_EQ(c.numbers(k.file).back(), 100690u);
      EXPECT_TRUE(elems(k.file).empty());
    }
  }
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

}  // namespace

namespace {

// Each bound of a file's definition at its limit compiles without a message;
// one past it gives the bound's message, with the field's whole name.
TEST_F(DdCmpl, DefinitionsAtEachBoundCompileAndOnePastAreRefused) {
  for (int n : {255, 256}) {
    DDomain d = domain("KEY" + std::to_string(n), 4, 1);
    d.dflt_len = uint16_t(n);
    put("INIT_DDOM_FDB", d);
  }
  DDomain small = domain("SMALL", 1, 1, "9999");
  small.rng_code1 = 4;
  small.rng_value1.set("255");
  put("INIT_DDOM_FDB", small);
  put("INIT_DDOM_FDB", domain("CODE", 1, 1, "99"));
  DDomain alpha3 = domain("ALPHA3", 4, 1);
  alpha3.dflt_len = 3;
  put("INIT_DDOM_FDB", alpha3);
  auto key0 = [](DField& f) { f.key_kind = 0; };
  auto alt = [](DField& f) { f.key_kind = 1; };
  auto low = [](const char* t) { return [t](DField& f) { f.low_given = 1; f.low.set(t); }; };
  auto high = [](const char* t) { return [t](DField& f) { f.high_given = 1; f.high.set(t); }; };
  auto sub = [](int off, int len) { return [off, len](DField& f) { f.offset = uint16_t(off); f.length = uint16_t(len); }; };
  // the limits: keys of 255 bytes, a whole base as substring, a synonym of as
  // many occurrences as its base, ranges as long or as large as the field
  // takes, a 3-byte user stamp
  put("INIT_DREC_FDB", record("LIM"));
  put("INIT_DFLD_FDB", fld("LIM", "K", 1, "COUNT", key0));
  put("INIT_DFLD_FDB", fld("LIM", "A", 2, "KEY255", alt));
  put("INIT_DFLD_FDB", fld("LIM", "G", 3, "B", alt, 2));
  put("INIT_DFLD_FDB", fld("LIM", "B", 4, "KEY255"));
  put("INIT_DFLD_FDB", fld("LIM", "D", 5, "DAY", low("2024022912300000")));
  put("INIT_DFLD_FDB", fld("LIM", "N", 6, "NAME", [](DField& f) { f.occurs = 2; f.high_given = 1; f.high.set("ABCDEFGHIJ"); }));
  put("INIT_DFLD_FDB", fld("LIM", "M", 7, "NAME"));
  put("INIT_DFLD_FDB", fld("LIM", "S", 8, "M", sub(1, 10), 4));
  put("INIT_DFLD_FDB", fld("LIM", "Y", 9, "N", [](DField& f) { f.occurs = 2; }, 5));
  put("INIT_DFLD_FDB", fld("LIM", "V", 10, "SMALL", high("255")));
  put("INIT_DFLD_FDB", fld("LIM", "W", 11, "CODE", low("99")));
  put("INIT_DFLD_FDB", fld("LIM", "U", 12, "ALPHA3", [](DField& f) { f.usage = 6; }));
  ASSERT_EQ(c.run("LIM"), 1);
  EXPECT_EQ(c.numbers("LIM"), std::vector<uint32_t>{});
  DFile f;
  ASSERT_TRUE(file_rec("LIM", &f));
  EXPECT_EQ(f.key_len[1], 255);
  EXPECT_EQ(f.key_len[2], 255);
  EXPECT_EQ(f.usage[0], 12u);
  EXPECT_EQ(elem(elems("LIM"), "LIM V")->length, 1) << "at most 255: one byte";
  // one past each: a message for the field, by its whole name
  struct Past {
    const char* what;
    uint32_t msg;
    const char* field;
    std::function<void(const std::string&)> define;
    bool fails = true;  // a numeric range's one bad bound does not fail its field
  };
  std::vector<Past> past = {
      {"key of 256 bytes", 100660, "A", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "A", 2, "KEY256", alt)); }},
      {"group key of 256 bytes", 100270, "G",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "G", 2, "C", alt, 2));
         put("INIT_DFLD_FDB", fld(F, "B", 3, "KEY255"));
         put("INIT_DFLD_FDB", fld(F, "C", 4, "FLAG"));
       }},
      {"substring from offset 0", 100580, "S",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "M", 2, "NAME"));
         put("INIT_DFLD_FDB", fld(F, "S", 3, "M", sub(0, 2), 4));
       }},
      {"substring one byte past its base", 100580, "S",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "M", 2, "NAME"));
         put("INIT_DFLD_FDB", fld(F, "S", 3, "M", sub(2, 10), 4));
       }},
      {"synonym of one occurrence more", 100610, "Y",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "N", 2, "NAME", [](DField& f) { f.occurs = 2; }));
         put("INIT_DFLD_FDB", fld(F, "Y", 3, "N", [](DField& f) { f.occurs = 3; }, 5));
       }},
      {"alpha range of 11 characters", 100070, "N",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "N", 2, "NAME", high("ABCDEFGHIJK"))); }},
      {"date range of 18 characters", 100320, "D",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "D", 2, "DAY", low("202402291230000000"))); }},
      {"range of 256 in a byte", 100680, "V", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "V", 2, "SMALL", high("256"))); },
       false},
      {"range of one digit more", 100520, "W", [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "W", 2, "CODE", low("100"))); },
       false},
      {"user stamp of 2 bytes", 100400, "U",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "U", 2, "ALPHA2", [](DField& f) { f.usage = 6; })); }},
  };
  DDomain alpha2 = domain("ALPHA2", 4, 1);
  alpha2.dflt_len = 2;
  put("INIT_DDOM_FDB", alpha2);
  int i = 0;
  for (const Past& p : past) {
    // file names of 8 characters and field names of 22
    std::string file = "PAST" + std::to_string(1000 + ++i);
    SCOPED_TRACE(std::string(p.what) + " in " + file);
    put("INIT_DREC_FDB", record(file));
    put("INIT_DFLD_FDB", fld(file, "K", 1, "DAY", key0));  // 4 bytes: what follows is aligned
    p.define(file);
    ASSERT_EQ(c.run(file), 1);
    auto ms = c.msgs(file);
    ASSERT_EQ(ms.size(), 1u);
    EXPECT_EQ(ms[0].number, p.msg);
    EXPECT_EQ(ms[0].kind, 3);
    EXPECT_EQ(ms[0].object, file + " " + p.field);
    DFile f;
    EXPECT_EQ(file_rec(file, &f), !p.fails);
  }
  // messages name the field by all its 22 characters, the file by all 8
  std::string longest = "PASTLONG " + std::string(13, 'N');
  put("INIT_DREC_FDB", record("PASTLONG", 2));
  put("INIT_DFLD_FDB", field("PASTLONG", "PASTLONG K", 2, "COUNT"));
  DField lf = field("PASTLONG", longest, 1, "ALPHA2");
  lf.usage = 7;
  put("INIT_DFLD_FDB", lf);
  ASSERT_EQ(c.run("PASTLONG"), 1);
  auto ms = c.msgs("PASTLONG");
  ASSERT_EQ(ms.size(), 1u);
  EXPECT_EQ(ms[0].number, 100410u);
  EXPECT_EQ(ms[0].object, longest);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

// A numeric field's range fails the field only when both bounds are bad; a
// bad one beside a good one is reported and the field compiles.
TEST_F(DdCmpl, ANumericRangeFailsItsFieldOnlyWhenBothBoundsAreBad) {
  put("INIT_DDOM_FDB", domain("CODE", 1, 1, "99"));
  for (bool both : {false, true}) {
    std::string file = both ? "RNGBOTH" : "RNGONE";
    put("INIT_DREC_FDB", record(file));
    put("INIT_DFLD_FDB", fld(file, "K", 1, "COUNT", [](DField& f) { f.key_kind = 0; }));
    put("INIT_DFLD_FDB", fld(file, "R", 2, "CODE", [&](DField& f) {
          f.low_given = 1;
          f.low.set("1a");
          f.high_given = 1;
          f.high.set(both ? "-1" : "50");
        }));
    ASSERT_EQ(c.run(file), 1);
    std::vector<uint32_t> want = {100490};
    if (both) want.push_back(100530);
    EXPECT_EQ(c.numbers(file), want);
    DFile f;
    EXPECT_EQ(file_rec(file, &f), !both);
  }
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

}  // namespace

namespace {

// Occurrences and two-segment dates count in field numbers, group lengths,
// key lengths and segment counts; every occurrence takes the initial value.
// A group with a member out of field order (a synonym of an earlier field)
// is not contiguous.
TEST_F(DdCmpl, OccurrencesCountInFieldNumbersKeysAndImages) {
  DDomain stamp = domain("STAMP", 2, 1, "0807060504030201");  // binary, 8 bytes, 2 segments
  put("INIT_DDOM_FDB", stamp);
  put("INIT_DREC_FDB", record("OCC"));
  put("INIT_DFLD_FDB", fld("OCC", "K", 1, "COUNT", [](DField& f) { f.key_kind = 0; }));
  put("INIT_DFLD_FDB", fld("OCC", "C", 2, "COUNT"));
  put("INIT_DFLD_FDB", fld("OCC", "G", 3, "A", [](DField& f) { f.key_kind = 1; }, 2));
  put("INIT_DFLD_FDB", fld("OCC", "W", 4, "STAMP"));
  put("INIT_DFLD_FDB", fld("OCC", "A", 5, "COUNT", [](DField& f) { f.occurs = 3; f.initial.set("7"); }));
  put("INIT_DFLD_FDB", fld("OCC", "R", 6, "COUNT", [](DField& f) { f.occurs = 2; f.key_kind = 1; }));
  put("INIT_DFLD_FDB", fld("OCC", "H", 7, "S", nullptr, 2));
  put("INIT_DFLD_FDB", fld("OCC", "B", 8, "COUNT"));
  put("INIT_DFLD_FDB", fld("OCC", "S", 9, "K", nullptr, 5));
  ASSERT_EQ(c.run("OCC"), 1);
  EXPECT_EQ(c.numbers("OCC"), std::vector<uint32_t>{});
  auto es = elems("OCC");
  std::map<std::string, std::pair<int, int>> want = {  // field number, offset
      {"OCC K", {1, 0}}, {"OCC C", {2, 2}}, {"OCC W", {3, 4}}, {"OCC A", {5, 12}}, {"OCC R", {8, 18}}, {"OCC B", {10, 22}}};
  for (const auto& [name, v] : want) {
    const DElem* e = elem(es, name);
    ASSERT_TRUE(e) << name;
    EXPECT_EQ(e->field_no, v.first) << name;
    EXPECT_EQ(e->offset, v.second) << name;
  }
  const DElem* g = elem(es, "OCC G");
  const DElem* h = elem(es, "OCC H");
  ASSERT_TRUE(g && h);
  EXPECT_EQ(g->length, 8 + 3 * 2);
  EXPECT_EQ(g->field_no, 2 + 3) << "segments: two of the date, one an occurrence";
  EXPECT_EQ(g->type, 1) << "contiguous";
  EXPECT_EQ(h->type, 2) << "a synonym of the key between";
  DFile f;
  ASSERT_TRUE(file_rec("OCC", &f));
  EXPECT_EQ(f.key_len[1], 14);
  EXPECT_EQ(f.seg_count[1], 5);
  EXPECT_EQ(f.key_len[2], 4);
  EXPECT_EQ(f.seg_count[2], 2);
  auto ini = image("OCC", 1);
  ASSERT_EQ(ini.size(), 24u);
  for (int o = 0; o < 3; ++o) EXPECT_EQ(ini[size_t(12 + 2 * o)] | ini[size_t(13 + 2 * o)] << 8, 7) << o;
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

// Asked key numbers stay while the highest is below the key count; one at
// the count makes every alternate key numbered anew from 1.
TEST_F(DdCmpl, AskedKeyNumbersStayBelowTheKeyCountAndAreRenumberedAtIt) {
  for (int alternates : {2, 1}) {
    std::string file = "ASK" + std::to_string(alternates);
    put("INIT_DREC_FDB", record(file));
    put("INIT_DFLD_FDB", fld(file, "K", 1, "COUNT", [](DField& f) { f.key_kind = 0; }));
    put("INIT_DFLD_FDB", fld(file, "A", 2, "COUNT", [](DField& f) { f.key_kind = 1; f.key_no = 2; }));
    if (alternates == 2) put("INIT_DFLD_FDB", fld(file, "B", 3, "COUNT", [](DField& f) { f.key_kind = 1; f.key_no = 0; }));
    ASSERT_EQ(c.run(file), 1);
    EXPECT_EQ(c.numbers(file), std::vector<uint32_t>{});
    auto es = elems(file);
    EXPECT_EQ(elem(es, file + " A")->key_no, alternates == 2 ? 2 : 1) << file;
    if (alternates == 2) {
      EXPECT_EQ(elem(es, file + " B")->key_no, 1);
    }
  }
}

// A change of storage that keeps every offset and length (a date of year
// and day, binary or packed in 4 bytes) still changes the structure: the
// records on file must be converted.
TEST_F(DdCmpl, AStorageChangeOfTheSameLengthChangesTheStructure) {
  put("INIT_DDOM_FDB", domain("WHEN", 2, 1, "0705"));
  put("INIT_DREC_FDB", record("SWHEN", 2));
  put("INIT_DFLD_FDB", fld("SWHEN", "V", 1, "WHEN"));
  ASSERT_EQ(c.run("SWHEN"), 1);
  DFile a, b;
  ASSERT_TRUE(file_rec("SWHEN", &a));
  DElem was = *elem(elems("SWHEN"), "SWHEN V");
  put("INIT_DDOM_FDB", domain("WHEN", 2, 2, "0705"));
  set_unset(a.cmpl_stamp);
  put("INIT_DFI_FDB", a);
  ASSERT_EQ(c.run("SWHEN"), 1);
  EXPECT_EQ(c.numbers("SWHEN"), std::vector<uint32_t>{});
  ASSERT_TRUE(file_rec("SWHEN", &b));
  DElem now = *elem(elems("SWHEN"), "SWHEN V");
  EXPECT_NE(now.type, was.type);
  ASSERT_EQ(now.length, was.length);
  EXPECT_NE(std::memcmp(a.struct_stamp.data(), b.struct_stamp.data(), 8), 0);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

}  // namespace

namespace {

// A file's area takes the class of its share codes; its second area is of
// class 2 at most, however it is shared.
TEST_F(DdCmpl, TheSecondAreaIsOfClassTwoAtMost) {
  for (const char* b14 : {"0", "1"}) {
    std::string file = std::string("AREA") + b14;
    DRecord rc = record(file, 2);
    rc.b14.set(b14);
    rc.share[0] = 3;
    rc.share[1] = 3;
    put("INIT_DREC_FDB", rc);
    put("INIT_DFLD_FDB", fld(file, "V", 1, "COUNT"));
    ASSERT_EQ(c.run(file), 1);
    EXPECT_EQ(c.numbers(file), std::vector<uint32_t>{});
    DFile f;
    ASSERT_TRUE(file_rec(file, &f));
    EXPECT_EQ(f.area / 1000000, 12u) << file;
    EXPECT_EQ(f.area2 / 1000000, 2u) << file;
  }
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

}  // namespace

namespace {

// The user stamps (FILE 140 and 144), where the runtime writes the 3-byte
// user id: an alpha field takes them by special usage 6 and 7.
TEST_F(DdCmpl, AnAlphaFieldTakesTheUserStampSlots) {
  put("INIT_DREC_FDB", record("STMP"));
  DField k = field("STMP", "STMP ID", 1, "COUNT");
  k.key_kind = 0;
  k.key_no = 0;
  put("INIT_DFLD_FDB", k);
  DField a = field("STMP", "STMP ADDED BY", 2, "NAME");
  a.usage = 6;
  put("INIT_DFLD_FDB", a);
  DField b = field("STMP", "STMP CHANGED BY", 3, "NAME");
  b.usage = 7;
  put("INIT_DFLD_FDB", b);
  c.run("STMP");
  EXPECT_EQ(c.numbers("STMP"), std::vector<uint32_t>{}) << errs.last();
  DFile f;
  ASSERT_TRUE(file_rec("STMP", &f));
  EXPECT_EQ(f.usage[0], 2u);
  EXPECT_EQ(f.usage[1], 3u);
  for (int s = 2; s < 10; ++s) EXPECT_EQ(f.usage[s], 0u) << s;
}

TEST_F(DdCmpl, KeysOneToSixteenAreNumberedASeventeenthIsRefused) {
  put("INIT_DREC_FDB", record("KEYS"));
  put("INIT_DFLD_FDB", fld("KEYS", "P", 1, "COUNT", [](DField& f) { f.key_kind = 0; }));
  for (int k = 1; k <= 16; ++k)
    put("INIT_DFLD_FDB", fld("KEYS", "A" + std::to_string(k), uint32_t(k + 1), "COUNT", [&](DField& f) {
          f.key_kind = 1;
          f.key_no = uint8_t(k == 5 ? 9 : 0);  // one asks for its number
        }));
  ASSERT_EQ(c.run("KEYS"), 1);
  EXPECT_TRUE(c.msgs("KEYS").empty());
  DFile f;
  ASSERT_TRUE(file_rec("KEYS", &f));
  EXPECT_EQ(f.key_count, 17);
  std::set<int> numbers;
  for (const DElem& e : elems("KEYS")) numbers.insert(e.key_no);
  std::set<int> want;
  for (int k = 0; k <= 16; ++k) want.insert(k);
  EXPECT_EQ(numbers, want);
  EXPECT_EQ(elem(elems("KEYS"), "KEYS A5")->key_no, 9);
  EXPECT_EQ(f.key_elem[16], 17u);
  // a 17th alternate key: refused before anything is stored, the file unchanged
  auto before = bytes_of("INIT_DELEM_FDB");
  auto before_fi = bytes_of("INIT_DFI_FDB");
  put("INIT_DFLD_FDB", fld("KEYS", "A17", 18, "COUNT", [](DField& x) { x.key_kind = 1; }));
  set_unset(f.cmpl_stamp);
  put("INIT_DFI_FDB", f);
  before_fi = bytes_of("INIT_DFI_FDB");
  ASSERT_EQ(c.run("KEYS"), 1);
  auto ms = c.msgs("KEYS");
  ASSERT_EQ(ms.size(), 1u);
  EXPECT_EQ(ms[0].number, 100800u);
  EXPECT_EQ(ms[0].object, "KEYS");
  EXPECT_EQ(bytes_of("INIT_DELEM_FDB"), before);
  EXPECT_EQ(bytes_of("INIT_DFI_FDB"), before_fi);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

TEST_F(DdCmpl, GroupsSynonymsAndSubstringsTakeTheirOffsets) {
  put("INIT_DREC_FDB", record("GRP"));
  put("INIT_DFLD_FDB", fld("GRP", "ID", 1, "COUNT", [](DField& f) { f.key_kind = 0; }));
  // a group key of NAME and AMOUNT (a binary count lies between: offsets 2-17)
  put("INIT_DFLD_FDB", fld("GRP", "G", 2, "AMT", [](DField& f) { f.key_kind = 1; }, 2));
  put("INIT_DFLD_FDB", fld("GRP", "NAME", 3, "NAME"));
  put("INIT_DFLD_FDB", fld("GRP", "AMT", 4, "AMOUNT"));
  put("INIT_DFLD_FDB", fld("GRP", "GE", 5, "", nullptr, 3));
  put("INIT_DFLD_FDB", fld("GRP", "DAY", 6, "DAY"));
  put("INIT_DFLD_FDB", fld("GRP", "SUB", 7, "NAME", [](DField& f) { f.offset = 5; f.length = 6; }, 4));
  put("INIT_DFLD_FDB", fld("GRP", "SYN", 8, "DAY", nullptr, 5));
  // occurrences of a substring up to its base's end
  put("INIT_DFLD_FDB", fld("GRP", "SUB3", 9, "NAME", [](DField& f) { f.offset = 5; f.length = 2; f.occurs = 3; }, 4));
  ASSERT_EQ(c.run("GRP"), 1) << errs.last();
  EXPECT_TRUE(c.msgs("GRP").empty());
  auto es = elems("GRP");
  const DElem* g = elem(es, "GRP G");
  const DElem* sub = elem(es, "GRP SUB");
  const DElem* syn = elem(es, "GRP SYN");
  const DElem* ge = elem(es, "GRP GE");
  ASSERT_TRUE(g && sub && syn && ge);
  EXPECT_EQ(g->offset, 2);
  EXPECT_EQ(g->length, 14);
  EXPECT_EQ(g->type, 1) << "contiguous members";
  EXPECT_EQ(g->field_no, 2) << "two key segments";
  EXPECT_EQ(g->key_no, 1);
  EXPECT_EQ(sub->offset, 2 + 4);
  EXPECT_EQ(sub->length, 6);
  EXPECT_EQ(sub->type, 1);
  const DElem* sub3 = elem(es, "GRP SUB3");
  ASSERT_TRUE(sub3);
  EXPECT_EQ(sub3->offset, 2 + 4);
  EXPECT_EQ(sub3->occurs, 3);
  EXPECT_EQ(syn->offset, 16);
  EXPECT_EQ(syn->length, 4);
  EXPECT_EQ(syn->type, 7);
  EXPECT_EQ(ge->area, 0u);
  EXPECT_EQ(ge->key_kind, 255);
  DFile f;
  ASSERT_TRUE(file_rec("GRP", &f));
  EXPECT_EQ(f.key_len[1], 14);
  EXPECT_EQ(f.seg_count[1], 2);
  EXPECT_EQ(f.key_elem[1], 2u);
  EXPECT_EQ(f.rec_len, 20);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

TEST_F(DdCmpl, StampsSkipUnchangedFilesAndMarkChangedLayouts) {
  cust();
  ASSERT_EQ(c.run("CUST"), 1);
  DFile a, b;
  ASSERT_TRUE(file_rec("CUST", &a));
  EXPECT_FALSE(dd_stamp_unset(a.struct_stamp.data()));
  EXPECT_NE(rec::view<rec::U32>(a.struct_stamp.data()).get(), 0u) << "a new file gets a new structure stamp";
  // equal stamps: nothing is compiled or written
  auto elem_bytes = bytes_of("INIT_DELEM_FDB");
  ASSERT_EQ(c.run("CUST"), 1);
  ASSERT_TRUE(file_rec("CUST", &b));
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
  EXPECT_EQ(bytes_of("INIT_DELEM_FDB"), elem_bytes);
  // ... unless a summary is asked for
  setenv("DD_SUMMARY_FILE", "1", 1);
  ASSERT_EQ(c.run("CUST"), 1);
  unsetenv("DD_SUMMARY_FILE");
  ASSERT_TRUE(file_rec("CUST", &b));
  EXPECT_NE(std::memcmp(a.cmpl_stamp.data(), b.cmpl_stamp.data(), 8), 0);
  EXPECT_EQ(std::memcmp(a.struct_stamp.data(), b.struct_stamp.data(), 8), 0) << "same layout, same structure";
  bool summary = false;
  for (const auto& p : std::filesystem::recursive_directory_iterator(dir.path))
    summary = summary || p.path().filename() == "SUMMARY";
  EXPECT_TRUE(summary);
  // a stamp of -1 compiles; a new field changes the structure
  put("INIT_DFLD_FDB", field("CUST", "CUST NOTE", 6, "NAME"));
  b.cmpl_stamp.data()[0] = 0xFF;
  set_unset(b.cmpl_stamp);
  put("INIT_DFI_FDB", b);
  ASSERT_EQ(c.run("CUST"), 1);
  DFile n;
  ASSERT_TRUE(file_rec("CUST", &n));
  EXPECT_EQ(n.rec_len, 31);
  EXPECT_NE(std::memcmp(a.struct_stamp.data(), n.struct_stamp.data(), 8), 0);
  EXPECT_EQ(elems("CUST").size(), 6u);
  EXPECT_EQ(image("CUST", 1).size(), 31u);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

TEST(DdStamps, AFixedStartGivesTheSameBytesForTheSameDesign) {
  // a start a hundredth before midnight: the next stamp is the next day's first
  uint8_t start[8], s1[8], s2[8];
  rec::view<HostTime>(start).day = 740000;
  rec::view<HostTime>(start).hundredths = 8640000 - 1;
  dd_stamp_from(start);
  dd_stamp(s1);
  dd_stamp(s2);
  EXPECT_EQ(std::memcmp(s1, start, 8), 0);
  EXPECT_EQ(rec::view<HostTime>(s2).day.get(), 740001u);
  EXPECT_EQ(rec::view<HostTime>(s2).hundredths.get(), 0u);
  // the same design records compiled in two directories: the same bytes,
  // unless the stamps come from the clock
  std::vector<DField> fields;
  auto build = [&](const uint8_t* from) {
    DictTempDir dir;
    SysErrCapture errs{SysErrAnswer::Cancel};
    Compiler c;
    domains();
    if (fields.empty()) {
      cust();
      fields = all<DField>("INIT_DFLD_FDB");
    } else {
      put("INIT_DREC_FDB", record("CUST"));
      for (const DField& f : fields) put("INIT_DFLD_FDB", f);
    }
    dd_stamp_from(from);
    EXPECT_EQ(c.run("CUST"), 1);
    EXPECT_EQ(errs.count(), 0u) << errs.last();
    std::vector<std::vector<uint8_t>> out;
    for (const char* b : {"INIT_DFI_FDB", "INIT_DELEM_FDB", "INIT_DINIT_FDB", "INIT_DDOM_FDB", "INIT_DBITMAP_FDB"})
      out.push_back(bytes_of(b));
    return out;
  };
  auto a = build(start), b = build(start);
  EXPECT_EQ(a, b);
  auto clock = build(nullptr);
  EXPECT_NE(a[0], clock[0]);
}

TEST_F(DdCmpl, DesignFilesOfTheDesignApplicationKeepFixedStructureStamps) {
  for (const char* b : {"INIT_DFLD_FDB", "INIT_DREC_FDB", "INIT_DTOKEN_FDB"}) FM_CLOSE(open(b, "0AD"), 0);
  put("INIT_DDOM_FDB", domain("COUNT", 1, 1, "9999"), "0AD");
  for (const char* name : {"STMT", "BITMAP", "DOMAIN", "MINE"}) {
    put("INIT_DREC_FDB", record(name, 2), "0AD");
    put("INIT_DFLD_FDB", field(name, std::string(name) + " X", 1, "COUNT"), "0AD");
    ASSERT_EQ(c.run(name, 1, "0AD"), 1) << errs.last();
  }
  std::map<std::string, std::pair<uint32_t, uint32_t>> got;
  for (const DFile& f : all<DFile>("INIT_DFI_FDB", 0, "0AD"))
    got[std::string(f.name.view())] = {rec::view<rec::U32>(f.struct_stamp.data()).get(),
                                       rec::view<rec::U32>(f.struct_stamp.data() + 4).get()};
  EXPECT_EQ(got["STMT    "], std::make_pair(0u, 2u));
  EXPECT_EQ(got["BITMAP  "], std::make_pair(0u, 1u));
  EXPECT_EQ(got["DOMAIN  "], std::make_pair(0u, 3u));
  EXPECT_EQ(got["MINE    "], std::make_pair(0u, 0u)) << "another design file keeps its stamp";
}

TEST_F(DdCmpl, ADomainChangeMarksItsFilesAndWorkFieldsForCompile) {
  cust();
  ASSERT_EQ(c.run("CUST"), 1);
  DField w = field("", "WORK COUNT", 0, "COUNT");
  w.work.set("1");
  set_unset(w.cmpl_stamp);
  put("INIT_DFLD_FDB", w);
  ASSERT_EQ(c.run("*"), 1);
  auto wk = all<DElem>("INIT_DELEM_FDB");
  const DElem* we = elem(wk, "WORK COUNT");
  ASSERT_NE(we, nullptr);
  EXPECT_EQ(we->work, '1');
  EXPECT_NE(we->area, 0u);
  // the domain changes: its stamp -1; the domain run leaves it to its
  // fields; the first file compiled with it compiles the domain, which
  // marks every other user
  DDomain d = domain("COUNT", 1, 1, "99999");
  put("INIT_DDOM_FDB", d);
  ASSERT_EQ(c.run("        "), 1);
  DFile f;
  ASSERT_TRUE(file_rec("CUST", &f));
  set_unset(f.cmpl_stamp);
  put("INIT_DFI_FDB", f);
  ASSERT_EQ(c.run("CUST"), 1);
  EXPECT_EQ(elem(elems("CUST"), "CUST ID")->length, 4) << "99999 takes 4 bytes";
  bool work_marked = false;
  for (const DField& x : all<DField>("INIT_DFLD_FDB"))
    if (x.name == std::string_view("WORK COUNT")) work_marked = dd_stamp_unset(x.cmpl_stamp.data());
  EXPECT_TRUE(work_marked);
  // a second file of the domain is marked
  put("INIT_DREC_FDB", record("OTHER", 2));
  put("INIT_DFLD_FDB", field("OTHER", "OTHER N", 1, "NAME"));
  put("INIT_DFLD_FDB", field("OTHER", "OTHER C", 2, "COUNT"));
  ASSERT_EQ(c.run("OTHER"), 1);
  ASSERT_TRUE(file_rec("OTHER", &f));
  EXPECT_FALSE(dd_stamp_unset(f.cmpl_stamp.data()));
  put("INIT_DDOM_FDB", domain("COUNT", 1, 1, "999999"));
  ASSERT_TRUE(file_rec("CUST", &f));
  set_unset(f.cmpl_stamp);
  put("INIT_DFI_FDB", f);
  ASSERT_EQ(c.run("CUST"), 1);
  ASSERT_TRUE(file_rec("OTHER", &f));
  EXPECT_TRUE(dd_stamp_unset(f.cmpl_stamp.data()));
  ASSERT_EQ(c.run("*"), 1);
  wk = all<DElem>("INIT_DELEM_FDB");
  EXPECT_EQ(elem(wk, "WORK COUNT")->length, 4);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

// A failing work field fails the run: no FIELD, ELEMENT or BITMAP byte
// changes, so the numbers are not lost and the next good run takes them.
TEST_F(DdCmpl, AFailingWorkFieldLeavesTheDictionaryAsItWas) {
  cust();
  ASSERT_EQ(c.run("CUST"), 1);
  auto work = [](const char* name, const char* dom) {
    DField w = field("", name, 0, dom);
    w.work.set("1");
    set_unset(w.cmpl_stamp);
    put("INIT_DFLD_FDB", w);
  };
  work("WORK A", "COUNT");
  ASSERT_EQ(c.run("*"), 1);
  uint32_t a = elem(all<DElem>("INIT_DELEM_FDB"), "WORK A")->area;
  // A changed, B new and good, C new without its domain
  work("WORK A", "AMOUNT");
  work("WORK B", "COUNT");
  work("WORK C", "NOWHERE");
  uint32_t highest = 0;
  for (const DBitmap& b : all<DBitmap>("INIT_DBITMAP_FDB"))
    if (b.cls == 0 && b.page == 1) highest = b.highest;
  ASSERT_GT(highest, 0u);
  const char* files[] = {"INIT_DFLD_FDB", "INIT_DELEM_FDB", "INIT_DBITMAP_FDB"};
  std::vector<std::vector<uint8_t>> before;
  for (const char* f : files) before.push_back(bytes_of(f));
  ASSERT_EQ(c.run("*"), 1);
  auto ms = c.msgs("*");
  ASSERT_EQ(ms.size(), 1u);
  EXPECT_EQ(ms[0].number, 100230u);
  EXPECT_EQ(ms[0].object, "WORK C");
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(bytes_of(files[i]), before[i]) << files[i];
  work("WORK C", "COUNT");
  ASSERT_EQ(c.run("*"), 1);
  EXPECT_TRUE(c.msgs("*").empty());
  auto es = all<DElem>("INIT_DELEM_FDB");
  EXPECT_EQ(elem(es, "WORK A")->area, a);
  EXPECT_EQ(elem(es, "WORK A")->type, 8) << "A compiled with its new domain";
  EXPECT_EQ(elem(es, "WORK B")->area, highest + 1);
  EXPECT_EQ(elem(es, "WORK C")->area, highest + 2);
  for (const DField& x : all<DField>("INIT_DFLD_FDB"))
    if (x.work[0] == '1') {
      std::string n(x.name.view());
      n.erase(n.find_last_not_of(' ') + 1);
      EXPECT_EQ(x.area, elem(es, n)->area) << n;
    }
  // Numbers run out: A moves to class 4 (share codes 3 and 1), which has one
  // number left, and D finds none. A's new number is freed and its old one
  // (class 0) kept: the dictionary is as it was.
  FmArb* bm = open("INIT_DBITMAP_FDB");
  auto* page = static_cast<DBitmap*>(MM_ALLOC(pool(), sizeof(DBitmap)));
  for (uint32_t p = 1; p <= 2500; ++p) {
    std::memset(page, 0, sizeof *page);
    page->cls = 4;
    page->page = p;
    page->highest = p == 1 ? 999999 : 0;
    std::memset(page->bits.data(), 0xFF, 50);
    if (p == 2500) page->bits.b[49] = 0x3F;  // 999,999 free
    PROTO_FULL(bm, 0, reinterpret_cast<uint8_t*>(page));
    ASSERT_TRUE(fm_write(bm));
  }
  FM_CLOSE(bm, 0);
  mm_free(page);
  for (const char* name : {"WORK A", "WORK D"}) {
    DField w = field("", name, 0, "COUNT");
    w.work.set("1");
    w.share_a = 3;
    w.share_b = 1;
    set_unset(w.cmpl_stamp);
    put("INIT_DFLD_FDB", w);
  }
  before.clear();
  for (const char* f : files) before.push_back(bytes_of(f));
  ASSERT_EQ(c.run("*"), 1);
  EXPECT_EQ(c.numbers("*"), std::vector<uint32_t>{100820});
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(bytes_of(files[i]), before[i]) << files[i];
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

TEST_F(DdCmpl, AnInheritedDomainIsRefreshedOnlyWhenItsSourceChanged) {
  // the source application SRC and its registration in System Administration
  DDomain s = domain("PRICE", 1, 2, "999.99");
  put("INIT_DDOM_FDB", s, "SRC");
  FM_CLOSE(open("INIT_DFLD_FDB", "SRC"), 0);
  FM_CLOSE(open("INIT_DREC_FDB", "SRC"), 0);
  std::string t = Compiler::target("        ", "SRC");
  ASSERT_EQ(::mark(0, [&] { dd_cmpl(1, t.c_str(), c.m1, c.m2); }), 1);
  DAppl ap;
  std::memset(&ap, ' ', sizeof ap);
  ap.app.set("SRC");
  ap.ver.set("00");
  put("INIT_DAP_FDB", ap, "0SA");
  DDomain inh = domain("PRICE", 0, 0);
  inh.src_app.set("SRC");
  inh.src_name.set("PRICE");
  put("INIT_DDOM_FDB", inh);
  put("INIT_DREC_FDB", record("SHOP", 2));
  put("INIT_DFLD_FDB", field("SHOP", "SHOP PRICE", 1, "PRICE"));
  ASSERT_EQ(c.run("        "), 1);
  ASSERT_EQ(c.run("SHOP"), 1);
  EXPECT_EQ(c.numbers("SHOP"), std::vector<uint32_t>{});
  EXPECT_EQ(elem(elems("SHOP"), "SHOP PRICE")->length, 3);
  auto stored = [&] {
    for (const DDomain& d : all<DDomain>("INIT_DDOM_FDB"))
      if (d.name == std::string_view("PRICE")) return d;
    return DDomain{};
  };
  DDomain once = stored();
  EXPECT_EQ(once.kind, 1);
  EXPECT_EQ(once.mask, s.mask);
  // an unchanged source: the domain run writes nothing
  auto dom_bytes = bytes_of("INIT_DDOM_FDB");
  ASSERT_EQ(c.run("        "), 1);
  EXPECT_EQ(bytes_of("INIT_DDOM_FDB"), dom_bytes);
  // the source changes and compiles: the copy is stored again, stamp -1,
  // and compiles with its first field
  put("INIT_DDOM_FDB", domain("PRICE", 1, 2, "99999.99"), "SRC");
  ASSERT_EQ(::mark(0, [&] { dd_cmpl(1, t.c_str(), c.m1, c.m2); }), 1);
  ASSERT_EQ(c.run("        "), 1);
  EXPECT_TRUE(dd_stamp_unset(stored().stamp.data()));
  DFile f;
  ASSERT_TRUE(file_rec("SHOP", &f));
  set_unset(f.cmpl_stamp);
  put("INIT_DFI_FDB", f);
  ASSERT_EQ(c.run("SHOP"), 1);
  EXPECT_EQ(elem(elems("SHOP"), "SHOP PRICE")->length, 4);
  EXPECT_FALSE(dd_stamp_unset(stored().stamp.data()));
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

TEST_F(DdCmpl, AStandaloneRunPrintsItsProgressLines) {
  cust();
  put("INIT_DFLD_FDB", fld("CUST", "G", 6, "=CUST X", nullptr, 2));
  put("INIT_DFLD_FDB", fld("CUST", "S", 7, "=CUST NAME", [](DField& f) { f.offset = 1; f.length = 1; }, 4));
  put("INIT_DFLD_FDB", fld("CUST", "X", 8, "FLAG"));
  unsetenv("QUVO_ALLOW_MISALIGNS");
  testing::internal::CaptureStdout();
  ASSERT_EQ(c.run("CUST", 0), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "CUST (file)\n"
            "\t\t\tCOUNT (domain)\n"
            "\t\tCUST ID (domain field)\n"
            "\t\t\tNAME (domain)\n"
            "\t\tCUST NAME (domain field)\n"
            "\t\t\tAMOUNT (domain)\n"
            "\t\tCUST AMOUNT (domain field)\n"
            "\t\t\tDAY (domain)\n"
            "\t\tCUST DAY (domain field)\n"
            "\t\t\tFLAG (domain)\n"
            "\t\tCUST FLAG (domain field)\n"
            "\t\tCUST G (group header)\n"
            "\t\tCUST S (syn. or substring)\n"
            "\t\tCUST X (domain field)\n");
  // 22 bytes: a record length of two filler bytes, refused without
  // QUVO_ALLOW_MISALIGNS
  EXPECT_EQ(c.numbers("CUST"), (std::vector<uint32_t>{100570, 100055}));
  setenv("QUVO_ALLOW_MISALIGNS", "1", 1);
  put("INIT_DFLD_FDB", fld("CUST", "S", 7, "=CUST NAME", [](DField& f) { f.offset = 1; f.length = 1; }, 5));
  testing::internal::CaptureStdout();
  c.run("CUST", 0);
  testing::internal::GetCapturedStdout();
  unsetenv("QUVO_ALLOW_MISALIGNS");
  EXPECT_EQ(c.numbers("CUST"), (std::vector<uint32_t>{100050}));
  DFile f;
  ASSERT_TRUE(file_rec("CUST", &f));
  set_unset(f.cmpl_stamp);
  put("INIT_DFI_FDB", f);
  testing::internal::CaptureStdout();
  c.run("CUST", 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(c.numbers("CUST").empty()) << "from 4GL no alignment message for the record length";
  ASSERT_TRUE(file_rec("CUST", &f));
  EXPECT_FALSE(dd_stamp_unset(f.cmpl_stamp.data()));
}

// DD_CMPL as CALL gives it its words: with or without the PCB, a target
// passed by value that is shorter than 13 characters is padded; message
// files of other record lengths (or one file twice) are refused before
// anything runs; the caller's handles keep their buffers.
TEST_F(DdCmpl, TheInternalFunctionChecksItsArguments) {
  cust();
  auto off = [](const void* p) { return arena::offset_of(p); };
  auto* t = static_cast<char*>(MM_ALLOC(pool(), 10));
  std::memcpy(t, "TST00CUST", 10);   // as CALL copies a 9-byte field: its bytes and a NUL
  auto* shorter = static_cast<char*>(MM_ALLOC(pool(), 9));
  std::memcpy(shorter, "TST00CU", 8);
  uint8_t* buf1 = c.m1->rec.get();
  uint32_t swapped[] = {3, off(t), off(c.m2), off(c.m1)}, twice[] = {3, off(t), off(c.m1), off(c.m1)};
  EXPECT_EQ(DD_CMPL(swapped), 0);
  EXPECT_EQ(DD_CMPL(twice), 0);
  uint32_t few[] = {2, off(t), off(c.m1)};
  EXPECT_EQ(DD_CMPL(few), 0);
  EXPECT_TRUE(elems("CUST").empty());
  uint32_t bad_name[] = {3, off(shorter), off(c.m1), off(c.m2)};
  EXPECT_EQ(DD_CMPL(bad_name), 1);
  EXPECT_EQ(c.numbers("CU"), std::vector<uint32_t>{100250}) << "the target is \"TST00CU      \"";
  uint32_t with_pcb[] = {4, 0, off(t), off(c.m1), off(c.m2)};
  EXPECT_EQ(DD_CMPL(with_pcb), 1);
  EXPECT_EQ(elems("CUST").size(), 5u);
  EXPECT_EQ(c.m1->rec.get(), buf1);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

}  // namespace

TEST(DdHelp, TheCompilersSettingsAreListed) {
  FILE* p = popen(QUVO_USER_BINARY " -h 2>&1", "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char b[4096];
  for (size_t n; (n = fread(b, 1, sizeof b, p)) > 0;) out.append(b, n);
  pclose(p);
  EXPECT_NE(out.find("QUVO_ALLOW_MISALIGNS"), std::string::npos);
  EXPECT_NE(out.find("DD_SUMMARY_FILE"), std::string::npos);
}

TEST(DdOpen, DesignFilesThatCannotBeOpenedAreReportedAndTheRunDoesNothing) {
  DictTempDir dir;
  SysErrCapture errs{SysErrAnswer::Cancel};
  Compiler c;
  // no DOMAIN, FIELD or RECORD file; ELEMENT, FILE and BITMAP are created
  ASSERT_EQ(c.run("ANY", 1, "NEW"), 1);
  std::vector<uint32_t> got;
  for (const Msg& m : c.msgs("ANY", "NEW")) {
    got.push_back(m.number);
    EXPECT_EQ(m.kind, 1);
    EXPECT_EQ(m.object, "");
  }
  EXPECT_EQ(got, (std::vector<uint32_t>{100090, 100140, 100160}));
  EXPECT_EQ(all<DElem>("INIT_DELEM_FDB", 0, "NEW").size(), 0u);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

namespace {

// The INITIAL image read back through the conversion layer gives the
// initial values as written (in universal form).
TEST_F(DdCmpl, TheInitialImageReadsBackAsTheInitialTexts) {
  put("INIT_DREC_FDB", record("BACK", 2));
  put("INIT_DDOM_FDB", domain("WHEN", 2, 1, "08070605"));
  put("INIT_DDOM_FDB", domain("SIGNED", 1, 1, "99999-"));
  std::map<std::string, std::pair<std::string, std::string>> want = {
      {"BACK AMOUNT", {"AMOUNT", "-12.5"}}, {"BACK COUNT", {"COUNT", "42"}},
      {"BACK WHEN", {"WHEN", "20240229"}},   {"BACK FLAG", {"FLAG", "Y"}},
      {"BACK NAME", {"NAME", "HELLO"}},      {"BACK SIGNED", {"SIGNED", "-3000"}}};
  uint32_t no = 0;
  for (const auto& [name, v] : want) put("INIT_DFLD_FDB", fld("BACK", name.substr(5), ++no, v.first, [&](DField& f) {
        f.initial.set(v.second);
      }));
  ASSERT_EQ(c.run("BACK"), 1);
  for (const Msg& m : c.msgs("BACK")) EXPECT_TRUE(m.number >= 100045 && m.number <= 100065) << m.number;
  auto ini = image("BACK", 1);
  MmPool pool = mm_create_pool(nullptr, com.base_scope, 0);
  auto* rec = static_cast<uint8_t*>(MM_ALLOC(pool, ini.size()));
  std::memcpy(rec, ini.data(), ini.size());
  std::map<std::string, std::string> expect = {
      {"BACK AMOUNT", "-12.50"}, {"BACK COUNT", "42"}, {"BACK WHEN", "20240229"},
      {"BACK FLAG", "1"},        {"BACK NAME", "HELLO....."}, {"BACK SIGNED", "-3000"}};
  for (const DElem& e : elems("BACK")) {
    std::string n(e.name.view());
    n.erase(n.find_last_not_of(' ') + 1);
    CvBlock b;
    ASSERT_EQ(cv_get_cnv(&b, &e, "TST", "00"), 1) << n;
    b.item->int_addr.set(rec + e.offset.get());
    auto* text = static_cast<char*>(MM_ALLOC(pool, 32));
    b.item->ext_addr.set(text);
    b.item->ext_len = 32;
    ASSERT_EQ(cv_get_universal(&b, 1, nullptr, pool), 1) << n;
    std::string got(text, 32);
    got.erase(got.find_last_not_of(' ') + 1);
    if (e.type == 7) got = got.substr(0, 8);
    EXPECT_EQ(got, expect[n]) << n;
  }
  mm_destroy_pool(pool);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

}  // namespace

namespace {

// A synonym inside a group key is part of the key's layout: its base
// changing changes the structure, though no data field moved.
TEST_F(DdCmpl, AGroupKeysSynonymMovingChangesTheStructure) {
  put("INIT_DREC_FDB", record("SYNK"));
  put("INIT_DFLD_FDB", fld("SYNK", "ID", 1, "COUNT", [](DField& f) { f.key_kind = 0; }));
  put("INIT_DFLD_FDB", fld("SYNK", "X", 2, "COUNT"));
  put("INIT_DFLD_FDB", fld("SYNK", "G", 3, "B", [](DField& f) { f.key_kind = 1; }, 2));
  put("INIT_DFLD_FDB", fld("SYNK", "A", 4, "COUNT"));
  put("INIT_DFLD_FDB", fld("SYNK", "S", 5, "ID", nullptr, 5));
  put("INIT_DFLD_FDB", fld("SYNK", "B", 6, "COUNT"));
  ASSERT_EQ(c.run("SYNK"), 1);
  EXPECT_TRUE(c.msgs("SYNK").empty()) << c.msgs("SYNK")[0].number;
  DFile a, b;
  ASSERT_TRUE(file_rec("SYNK", &a));
  auto again = [&](const std::string& base) {
    put("INIT_DFLD_FDB", fld("SYNK", "S", 5, base, nullptr, 5));
    DFile f;
    file_rec("SYNK", &f);
    set_unset(f.cmpl_stamp);
    put("INIT_DFI_FDB", f);
    EXPECT_EQ(c.run("SYNK"), 1);
    EXPECT_TRUE(c.msgs("SYNK").empty());
    file_rec("SYNK", &f);
    return f;
  };
  b = again("ID");
  EXPECT_EQ(std::memcmp(a.struct_stamp.data(), b.struct_stamp.data(), 8), 0);
  b = again("X");
  EXPECT_NE(std::memcmp(a.struct_stamp.data(), b.struct_stamp.data(), 8), 0);
  EXPECT_EQ(errs.count(), 0u) << errs.last();
}

}  // namespace

namespace {

// Images of 1,000 bytes are one piece a kind; 1,001 bytes two, the second
// of one byte.
TEST_F(DdCmpl, ImagesAreStoredInPiecesOfAThousandBytes) {
  DDomain big = domain("BIG", 4, 1);
  big.dflt_len = 998;
  put("INIT_DDOM_FDB", big);
  put("INIT_DREC_FDB", record("PIECES", 2));
  put("INIT_DFLD_FDB", fld("PIECES", "ID", 1, "COUNT", [](DField& f) { f.initial.set("7"); }));
  put("INIT_DFLD_FDB", fld("PIECES", "TEXT", 2, "BIG", [](DField& f) { f.initial.set("Z"); }));
  auto pieces = [] {
    std::vector<std::tuple<int, int, size_t>> out;
    FmArb* a = open("INIT_DINIT_FDB");
    auto* b = static_cast<DInit*>(MM_ALLOC(pool(), sizeof(DInit)));
    PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(b));
    a->op = FM_OP_FIRST;
    fm_start(a);
    for (;;) {
      a->op = 0;
      a->rec_len = sizeof(DInit);
      if (!fm_rdnxt(a)) break;
      out.emplace_back(b->kind, int(b->seq), size_t(a->len_read.get()));
    }
    FM_CLOSE(a, 0);
    mm_free(b);
    return out;
  };
  ASSERT_EQ(c.run("PIECES"), 1);
  using P = std::vector<std::tuple<int, int, size_t>>;
  EXPECT_EQ(pieces(), (P{{1, 1, 1013}, {2, 1, 1013}}));
  EXPECT_EQ(image("PIECES", 1)[0], 7);
  EXPECT_EQ(image("PIECES", 1)[2], 'Z');
  put("INIT_DFLD_FDB", fld("PIECES", "FLAG", 3, "FLAG", [](DField& f) { f.initial.set("Y"); }));
  DFile f;
  ASSERT_TRUE(file_rec("PIECES", &f));
  set_unset(f.cmpl_stamp);
  put("INIT_DFI_FDB", f);
  ASSERT_EQ(c.run("PIECES"), 1);
  EXPECT_EQ(pieces(), (P{{1, 1, 1013}, {1, 2, 14}, {2, 1, 1013}, {2, 2, 14}}));
  auto ini = image("PIECES", 1);
  ASSERT_EQ(ini.size(), 1001u);
  EXPECT_EQ(ini[1000], '1');
  EXPECT_EQ(image("PIECES", 2)[1000], ' ');
}

}  // namespace
