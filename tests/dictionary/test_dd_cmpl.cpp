// The dictionary compiler over design records of a test application:
// elements, keys, groups, images, stamps, messages and the standalone lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

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
      {"key number 40", 100240, 3, "E",
       [&](auto& F) { put("INIT_DFLD_FDB", fld(F, "E", 1, "COUNT", [](DField& f) { f.key_kind = 1; f.key_no = 40; })); }},
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
       },
       false},
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
      {"usage taken twice", 100440, 3, "F",
       [&](auto& F) {
         put("INIT_DFLD_FDB", fld(F, "E", 1, "COUNT", [](DField& f) { f.key_kind = 0; f.usage = 2; }));
         put("INIT_DFLD_FDB", fld(F, "F", 2, "COUNT", [](DField& f) { f.usage = 2; }));
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
    ASSERT_FALSE(ms.empty());
    EXPECT_EQ(ms[0].number, k.number);
    EXPECT_EQ(ms[0].kind, k.kind);
    EXPECT_EQ(ms[0].object, k.kind == 1 ? file : k.kind == 2 ? std::string(k.object) : file + " " + k.object);
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

}  // namespace
