// Dictionary records: field lists against the catalogue, the field encoders
// against independent oracles (<chrono>, 64-bit arithmetic), and fixtures
// written through the file manager and opened back the ordinary way.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <set>

#include "dictionary/dict_support.h"
#include "files/dictenc.h"
#include "files/dictrec.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "support/dict_fixtures.h"

TEST(DictRec, EveryRecordHasAListAndACatalogueFileOfItsLength) {
  int n = 0;
  const DictRecDesc* t = dict_rec_table(&n);
  ASSERT_GE(n, 30);
  std::set<std::string> files;
  for (int i = 0; i < n; ++i) {
    const DictRecDesc& r = t[i];
    SCOPED_TRACE(r.file);
    EXPECT_TRUE(files.insert(r.file).second) << "declared twice";
    EXPECT_EQ(dict_rec_find(r.file), &r);
    std::set<std::string> names;
    for (int k = 0; k < r.count; ++k) EXPECT_TRUE(names.insert(r.fields[k].name).second) << r.fields[k].name;
    if (!*r.builder) continue;
    const FmCatEntry* e = fm_cat_find(r.builder);
    ASSERT_NE(e, nullptr) << r.builder;
    EXPECT_EQ(int(e->rec_len), int(r.size));
    EXPECT_EQ(std::string(e->file, 8), std::string(r.file, 8));
  }
  // The lower bounds the readers of the System Administration records need.
  EXPECT_GE(dict_rec_find("USER")->size, 364);
  EXPECT_GE(dict_rec_find("DATABASE")->size, 284);
  EXPECT_GE(dict_rec_find("SYSPARM")->size, 355);
  EXPECT_EQ(dict_rec_find("DBXAP")->size, 104);
  EXPECT_EQ(dict_rec_find("INIT_DUSR_FDB"), dict_rec_find("USER"));
  EXPECT_EQ(dict_rec_find("PROC"), nullptr) << "a name is all eight characters, blanks included";
}

TEST(DictRec, KeySegmentsOfTheCatalogueLieOnFieldsOfTheirType) {
  int n = 0;
  const DictRecDesc* t = dict_rec_table(&n);
  MmPool pool = mm_create_pool(" DRTEST    ", 0, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  for (int i = 0; i < n; ++i) {
    if (!*t[i].builder) continue;
    SCOPED_TRACE(t[i].file);
    FmFdb f;
    ASSERT_EQ(fm_cat_fill(fm_cat_find(t[i].builder), &f, kdb, sdb, "APP", "00"), 1);
    for (int k = 0; k < f.key_count; ++k)
      for (int s = 0; s < kdb[k].seg_count; ++s) {
        const FmSdb& g = kdb[k].segs.get()[s];
        // The field that holds the segment's first byte.
        const DictField* at = nullptr;
        for (int x = 0; x < t[i].count; ++x) {
          const DictField& d = t[i].fields[x];
          if (g.offset >= d.offset && g.offset < d.offset + d.width * d.occurs) at = &d;
        }
        ASSERT_NE(at, nullptr);
        if (g.type == FM_SEG_BINARY) EXPECT_TRUE(at->type == kFtBinary || at->type == kFtDate) << at->name;
        else EXPECT_TRUE(at->type == kFtAlpha || at->type == kFtOpaque || at->type == kFtBinary) << at->name;
      }
  }
  mm_destroy_pool(pool);
}

TEST(DictEnc, ValuesEncodeByTypeAndComeBack) {
  const DictRecDesc& p = *dict_rec_find("PROCESS");
  std::vector<uint8_t> r(p.size);
  dict_image(p, 1, r.data());
  std::string err;
  // Text, flags, binary at its widths.
  EXPECT_TRUE(dict_encode_named(p, "proc_name", "QUVO MENU", r.data(), &err)) << err;
  EXPECT_TRUE(dict_encode_named(p, "proc_type", "255", r.data(), &err));
  EXPECT_FALSE(dict_encode_named(p, "proc_type", "256", r.data(), &err));
  EXPECT_FALSE(dict_encode_named(p, "proc_type", "1x", r.data(), &err));
  EXPECT_TRUE(dict_encode_named(p, "w306", "-1", r.data(), &err));
  EXPECT_EQ(rec::view<DProc>(r.data()).w306.get(), 0xFFFF);
  EXPECT_FALSE(dict_encode_named(p, "w306", "65536", r.data(), &err));
  EXPECT_FALSE(dict_encode_named(p, "pcf_app", "ABCD", r.data(), &err));
  EXPECT_FALSE(dict_encode_named(p, "no_such", "1", r.data(), &err));
  EXPECT_NE(err.find("no_such"), std::string::npos);
  EXPECT_TRUE(dict_encode_named(p, "secr[4]", "ABCD", r.data(), &err));
  EXPECT_EQ(std::string(rec::view<DProc>(r.data()).secr[3].view()), "ABCD");
  EXPECT_FALSE(dict_encode_named(p, "secr[5]", "A", r.data(), &err));
  EXPECT_FALSE(dict_encode_named(p, "secr[0]", "A", r.data(), &err));
  const DProc& d = rec::view<DProc>(r.data());
  EXPECT_EQ(d.proc_name, "QUVO MENU");
  EXPECT_EQ(int(d.proc_type), 255);
  // Dates against <chrono>: day 1 is 0001-01-01.
  using namespace std::chrono;
  std::mt19937 rng(7);
  for (int i = 0; i < 500; ++i) {
    int days = int(rng() % 3652059);
    year_month_day ymd{sys_days{std::chrono::days{days - 719162}}};
    char text[40];
    unsigned h = rng() % 8640000;
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u.%02u", int(ymd.year()), unsigned(ymd.month()),
                  unsigned(ymd.day()), h / 360000, h / 6000 % 60, h / 100 % 60, h % 100);
    ASSERT_TRUE(dict_encode_named(p, "changed", text, r.data(), &err)) << text << err;
    uint32_t day = uint32_t(d.changed[0] | d.changed[1] << 8 | d.changed[2] << 16 | uint32_t(d.changed[3]) << 24);
    EXPECT_EQ(day, uint32_t(days + 1)) << text;
    EXPECT_EQ(dict_decode(*dict_field_find(&p, "changed"), 0, r.data()), text);
  }
  EXPECT_FALSE(dict_encode_named(p, "changed", "2026-02-30", r.data(), &err));
  EXPECT_FALSE(dict_encode_named(p, "changed", "2026-01-01T24:00:00", r.data(), &err));
  EXPECT_TRUE(dict_encode_named(p, "changed", "NULL", r.data(), &err));
  EXPECT_EQ(dict_decode(*dict_field_find(&p, "changed"), 0, r.data()), "NULL");
}

// Each type at its largest value and one past it; the oracle is the width's
// 64-bit range, <chrono> for dates.
TEST(DictEnc, EachTypeTakesItsBoundsAndRefusesOnePast) {
  std::string err;
  uint8_t r[16];
  auto enc = [&](const DictField& f, const char* text) {
    std::memset(r, 0xEE, sizeof r);
    return dict_encode(f, 0, text, r, &err);
  };
  auto le = [&](int w) {
    int64_t v = 0;
    for (int i = 0; i < w; ++i) v |= int64_t(r[i]) << (8 * i);
    return v;
  };
  const DictField b1{"B1", 0, 1, kFtBinary, 1}, b4{"B4", 0, 4, kFtBinary, 1};
  EXPECT_TRUE(enc(b1, "-128"));
  EXPECT_EQ(le(1), 0x80);
  EXPECT_FALSE(enc(b1, "-129"));
  EXPECT_TRUE(enc(b4, "-2147483648"));
  EXPECT_EQ(le(4), 0x80000000LL);
  EXPECT_FALSE(enc(b4, "-2147483649"));
  EXPECT_TRUE(enc(b4, "4294967295"));
  EXPECT_FALSE(enc(b4, "4294967296"));
  EXPECT_FALSE(enc(b1, "18446744073709551617")) << "2^64 + 1 wraps to 1 in 64 bits";
  EXPECT_EQ(r[1], 0xEE);
  // Dates: the first and last days, minutes and seconds to 59, hundredths
  // two digits; a 4-byte date keeps the day alone and nothing past it.
  const DictField d8{"D8", 0, 8, kFtDate, 1}, d4{"D4", 0, 4, kFtDate, 1};
  EXPECT_TRUE(enc(d8, "0001-01-01T23:59:59.99"));
  EXPECT_EQ(le(4), 1);
  EXPECT_EQ(int64_t(r[4] | r[5] << 8 | r[6] << 16 | int64_t(r[7]) << 24), 8639999);
  EXPECT_FALSE(enc(d8, "0000-12-31"));
  EXPECT_TRUE(enc(d8, "9999-12-31"));
  using namespace std::chrono;
  EXPECT_EQ(le(4), (sys_days{year{9999} / 12 / 31} - sys_days{year{1} / 1 / 1}).count() + 1);
  EXPECT_FALSE(enc(d8, "2026-01-01T00:60:00"));
  EXPECT_FALSE(enc(d8, "2026-01-01T00:00:60"));
  EXPECT_FALSE(enc(d8, "2026-01-01T00:00:00.005"));
  EXPECT_TRUE(enc(d4, "2026-01-01"));
  EXPECT_EQ(r[4], 0xEE) << "written past a 4-byte date";
  EXPECT_FALSE(enc(d4, "2026-01-01T00:00:01"));
  EXPECT_EQ(le(4), 0xEEEEEEEE) << "a refused value leaves its field";
  // Opaque: as many bytes as the field, hexadecimal digits only.
  const DictField o4{"O4", 0, 4, kFtOpaque, 1};
  EXPECT_TRUE(enc(o4, "01020304"));
  EXPECT_EQ(le(4), 0x04030201);
  EXPECT_FALSE(enc(o4, "0102030405"));
  EXPECT_FALSE(enc(o4, "+1"));
}

TEST(DictEnc, ImagesFollowTheTypes) {
  const DictRecDesc& s = *dict_rec_find("STMT");
  std::vector<uint8_t> ini(s.size), nul(s.size);
  dict_image(s, 1, ini.data());
  dict_image(s, 2, nul.data());
  const DStmt& a = rec::view<DStmt>(ini.data());
  const DStmt& b = rec::view<DStmt>(nul.data());
  EXPECT_EQ(a.proc_name, "");
  EXPECT_EQ(a.seq.get(), 0u);
  EXPECT_EQ(a.added[0], 0);
  EXPECT_EQ(b.added[7], 0xFF);
  EXPECT_EQ(a.ops[63], 0);
  EXPECT_EQ(b.verb.get(), 0);
}

class DictFixture : public ::testing::Test {
 protected:
  DictTempDir dir;
};

TEST_F(DictFixture, WrittenRecordsOpenByTheirBuilderAndReadBack) {
  ASSERT_TRUE(fx::menu_app("TST", "MAIN MENU", {"ORDERS", "STOCK"}));
  ASSERT_EQ(fx::write("USER", nullptr, nullptr, {fx::user("ABC", "A. B. Cee")}), 1);
  MmPool pool = mm_create_pool(" DFTEST    ", 0, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, 1024));
  // The ordinary open: SYSDIR entry and structure check.
  FmFdb f;
  INIT_DCHLD_FDB(&f, kdb, sdb, "TST", "00");
  ASSERT_EQ(FM_OPEN(&f, com.depth, 0, 1, 15), 1) << f.status.get();
  FmArb* a = f.handle.get();
  PROTO_FULL(a, 0, buf);
  a->op = FM_OP_FIRST;
  int n = 0;
  std::vector<std::string> names;
  for (int ok = fm_read(a); ok && n < 10; a->op = 0, ok = fm_rdnxt(a)) {
    names.push_back(rec::view<DChild>(buf).ch_name.str());
    EXPECT_EQ(rec::view<DChild>(buf).child_no.get(), uint32_t(++n));
    EXPECT_EQ(rec::view<DChild>(buf).image_no, 1);  // found by (image, option)
    EXPECT_EQ(rec::view<DChild>(buf).disc, n);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"ORDERS", "STOCK"}));
  FM_CLOSE(a, 0);
  INIT_DPARM_FDB(&f, "TST", "00");
  ASSERT_EQ(FM_OPEN(&f, com.depth, 0, 1, 15), 1) << f.status.get();
  a = f.handle.get();
  PROTO_FULL(a, 0, buf);
  ASSERT_EQ(fm_read(a), 1) << a->status.get();
  EXPECT_EQ(rec::view<DParam>(buf).menu[0], "MAIN MENU");
  FM_CLOSE(a, 0);
  INIT_DUSR_FDB(&f, kdb, sdb);
  ASSERT_EQ(FM_OPEN(&f, com.depth, 0, 1, 15), 1) << f.status.get();
  a = f.handle.get();
  PROTO_FULL(a, 0, buf);
  std::memcpy(buf, "ABC", 3);
  a->op = FM_OP_EQUAL;
  ASSERT_EQ(fm_read(a), 1);
  EXPECT_EQ(rec::view<DUser>(buf).name, "A. B. Cee");
  FM_CLOSE(a, 0);
  mm_destroy_pool(pool);
}
