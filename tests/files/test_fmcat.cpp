// Every catalogue builder against the record lengths and key layouts of the
// files as the system describes them. The expectations are written out here
// independently of the catalogue's table (own notation reader below): a
// change on either side fails.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"

namespace {

struct Seg {
  int off, len;
  bool bin;
  bool operator==(const Seg& o) const { return off == o.off && len == o.len && bin == o.bin; }
};
struct Key {
  bool dup;
  std::vector<Seg> segs;
};

// "off+len[b]" segments, ' ' between segments, '|' between keys, '*' in
// front of a key that allows duplicates.
std::vector<Key> keys_of(const std::string& text) {
  std::vector<Key> out;
  std::stringstream ks(text);
  std::string key;
  while (std::getline(ks, key, '|')) {
    Key k{false, {}};
    std::stringstream ss(key);
    std::string tok;
    while (ss >> tok) {
      if (tok == "*") {
        k.dup = true;
        continue;
      }
      Seg s{};
      s.bin = tok.back() == 'b';
      if (s.bin) tok.pop_back();
      size_t plus = tok.find('+');
      s.off = std::stoi(tok.substr(0, plus));
      s.len = std::stoi(tok.substr(plus + 1));
      k.segs.push_back(s);
    }
    if (!k.segs.empty()) out.push_back(k);
  }
  return out;
}

struct Expect {
  const char* builder;
  std::function<void(FmFdb*, FmKdb*, FmSdb*)> build;
  const char* app;   // expected identity: application, version, name, source application
  const char* ver;
  const char* name;
  const char* src_app;
  int fclass;
  int rec_len;
  int var;
  int org;
  const char* keys;
};

#define DICT(fn) [](FmFdb* f, FmKdb* k, FmSdb* s) { fn(f, k, s, "APP", "07"); }
#define SA(fn) [](FmFdb* f, FmKdb* k, FmSdb* s) { fn(f, k, s); }
#define Q(fn) [](FmFdb* f, FmKdb* k, FmSdb* s) { fn(f, k, s, 3); }
#define BARE(fn) [](FmFdb* f, FmKdb*, FmSdb*) { fn(f); }

const char* kOwner = "0+1b 1+30 31+1b 32+4b 36+1b 37+3 40+4b";

std::vector<Expect> expectations() {
  std::string owner = kOwner;
  static std::string owner8 = owner + " 44+4b";
  return {
      {"INIT_DPROC_FDB", DICT(INIT_DPROC_FDB), "0AD", "00", "PROCESS", "APP", 1, 440, 0, 3, "0+1b 1+30"},
      {"INIT_DROW_FDB", DICT(INIT_DROW_FDB), "0AD", "00", "ROW", "APP", 1, 296, 1, 3, kOwner},
      {"INIT_DCHLD_FDB", DICT(INIT_DCHLD_FDB), "0AD", "00", "CHILD", "APP", 1, 188, 0, 3, kOwner},
      {"INIT_DSLCT_FDB", DICT(INIT_DSLCT_FDB), "0AD", "00", "SELECT", "APP", 1, 144, 0, 3, owner8.c_str()},
      {"INIT_DSORT_FDB", DICT(INIT_DSORT_FDB), "0AD", "00", "SORT", "APP", 1, 108, 0, 3,
       "0+1b 1+30 31+1b 32+4b 36+4b"},
      {"INIT_DELEM_FDB", DICT(INIT_DELEM_FDB), "0AD", "00", "ELEMENT", "APP", 1, 592, 0, 3,
       "5+22 | 4+1 5+22 | * 56+8 64+4b | * 0+4b | 68+4b 72+4b"},
      {"INIT_DFI_FDB", DICT(INIT_DFI_FDB), "0AD", "00", "FILE", "APP", 1, 304, 0, 3, "0+8 | 100+4b | 104+4b"},
      {"INIT_DITM_FDB", DICT(INIT_DITM_FDB), "0AD", "00", "ITEM", "APP", 1, 204, 0, 3, owner8.c_str()},
      {"INIT_DSTMT_FDB", DICT(INIT_DSTMT_FDB), "0AD", "00", "STMT", "APP", 1, 152, 0, 3,
       "0+1b 1+30 31+1b 32+4b 36+1b 37+1b 38+2 40+4b 44+1b 45+3 48+4b"},
      {"INIT_DCHR_FDB", DICT(INIT_DCHR_FDB), "0AD", "00", "CHR", "APP", 1, 64, 0, 3, owner8.c_str()},
      {"INIT_DIMG_FDB", DICT(INIT_DIMG_FDB), "0AD", "00", "IMAGE", "APP", 1, 228, 0, 3,
       "0+1b 1+30 31+1b 32+4b 36+1b"},
      {"INIT_DFRM_FDB", DICT(INIT_DFRM_FDB), "0AD", "00", "FRAME", "APP", 1, 976, 0, 3, "0+1b 1+30 31+1b 32+4b"},
      {"INIT_DTOKEN_FDB", DICT(INIT_DTOKEN_FDB), "0AD", "00", "TOKEN", "APP", 1, 60, 0, 3,
       "0+1b 1+22 24+4b | 0+1b 1+22 28+30"},
      {"INIT_DFLD_FDB", DICT(INIT_DFLD_FDB), "0AD", "00", "FIELD", "APP", 1, 604, 0, 3,
       "5+22 | 4+1 5+22 | * 0+4b | * 56+8 64+4b | * 27+1b 28+22"},
      {"INIT_DREC_FDB", DICT(INIT_DREC_FDB), "0AD", "00", "RECORD", "APP", 1, 212, 0, 3, "0+8"},
      {"INIT_DDOM_FDB", DICT(INIT_DDOM_FDB), "0AD", "00", "DOMAIN", "APP", 1, 584, 0, 3, "0+1b 1+22 | * 1+22"},
      {"INIT_DINIT_FDB", DICT(INIT_DINIT_FDB), "0AD", "00", "INITIAL", "APP", 1, 1013, 1, 3, "0+8 8+1b 9+4b"},
      {"INIT_DBITMAP_FDB", DICT(INIT_DBITMAP_FDB), "0AD", "00", "BITMAP", "APP", 1, 212, 0, 3, "0+4b 4+4b"},
      {"INIT_DXCEPT_FDB", DICT(INIT_DXCEPT_FDB), "0AD", "00", "EXCEPT", "APP", 1, 2196, 0, 3,
       "0+8 8+22 30+2 32+80 112+3 115+1 116+2b"},
      {"INIT_DPARM_FDB", [](FmFdb* f, FmKdb*, FmSdb*) { INIT_DPARM_FDB(f, "APP", "07"); }, "0AD", "00", "PARAM",
       "APP", 1, 232, 0, 1, ""},
      {"INIT_DAP_FDB", SA(INIT_DAP_FDB), "0SA", "00", "APPL", "", 1, 324, 0, 3, "4+3 7+2"},
      {"INIT_DSYSDIR_FDB", SA(INIT_DSYSDIR_FDB), "0SA", "00", "SYSDIR", "", 1, 576, 0, 3, "0+3 3+3 6+2 8+8"},
      {"INIT_DDBXAP_FDB", SA(INIT_DDBXAP_FDB), "0SA", "00", "DBXAP", "", 1, 104, 0, 3, "0+3 3+3"},
      {"INIT_DUSR_FDB", SA(INIT_DUSR_FDB), "0SA", "00", "USER", "", 1, 364, 0, 3, "0+3"},
      {"INIT_DDB_FDB", SA(INIT_DDB_FDB), "0SA", "00", "DATABASE", "", 1, 284, 0, 3, "0+3"},
      {"INIT_DPROF_FDB", SA(INIT_DPROF_FDB), "0SA", "00", "PROFILE", "", 1, 192, 0, 3, "0+30 30+3"},
      {"INIT_DSYSPARM_FDB", BARE(INIT_DSYSPARM_FDB), "0SA", "00", "SYSPARM", "", 1, 355, 0, 1, ""},
      {"INIT_DFORM_FDB", SA(INIT_DFORM_FDB), "0SA", "00", "FORM", "", 1, 252, 0, 3, "0+10 | * 10+80"},
      {"INIT_DPRTR_FDB", SA(INIT_DPRTR_FDB), "0SA", "00", "PRINTER", "", 1, 328, 0, 3, "0+10 | 10+80"},
      {"INIT_DHOOK_FDB", SA(INIT_DHOOK_FDB), "0SA", "00", "HOOK", "", 1, 82, 0, 3,
       "0+3 3+2 5+1b 6+30 36+3 39+3 | * 39+3"},
      {"INIT_DPROP_FDB", SA(INIT_DPROP_FDB), "", "", "ATRIBUTE", "", 1, 406, 0, 3, "0+8 8+128 136+14"},
      {"INIT_DSTRUCT_FDB", BARE(INIT_DSTRUCT_FDB), "", "", "", "", 1, 1016, 1, 2, ""},
      {"em_citm_fdb", SA(em_citm_fdb), "", "", "", "", 2, 392, 0, 3,
       "0+4b 4+4b 8+4b | 0+4b 253+3 256+22 278+2b 4+4b 8+4b | * 280+4b 253+3 | * 0+4b 292+2b"},
      {"em_cchr_fdb", SA(em_cchr_fdb), "", "", "", "", 2, 40, 0, 3, "0+4b 4+4b 8+4b | * 0+4b 28+4b 32+4b"},
      {"INIT_QPARM_FDB", Q(INIT_QPARM_FDB), "0LA", "00", "QPARM", "", 2, 1644, 0, 3, "0+3 3+30"},
      {"INIT_QSLCT_FDB", Q(INIT_QSLCT_FDB), "0LA", "00", "QSLCT", "", 2, 112, 0, 3, "0+3 3+30 33+1b 34+2 36+4b"},
      {"INIT_QSORT_FDB", Q(INIT_QSORT_FDB), "0LA", "00", "QSORT", "", 2, 92, 0, 3, "0+3 3+30 33+3 36+4b"},
      {"INIT_QTAG_FDB", Q(INIT_QTAG_FDB), "0LA", "00", "QTAG", "", 2, 1064, 1, 3, "0+3 3+30 33+3 36+4b"},
      {"INIT_ERR_FDB", BARE(INIT_ERR_FDB), "0LA", "00", "ERROR", "", 2, 1265, 0, 2, ""},
      {"INIT_CMPLERR_FDB", SA(INIT_CMPLERR_FDB), "0LA", "00", "CMPLERR", "", 2, 1128, 0, 3,
       "0+3 3+2 5+1b 6+30 36+4b"},
      {"INIT_INST_FDB", BARE(INIT_INST_FDB), " IN", "00", "", "", 2, 2024, 0, 2, ""},
      {"INIT_TOC_FDB", BARE(INIT_TOC_FDB), " DB", "00", "", "", 2, 12, 0, 2, ""},
      {"INIT_MHOOK_FDB", SA(INIT_MHOOK_FDB), " PI", "00", "", "", 2, 82, 0, 3, "0+3 3+2 5+1b 6+30 36+3 39+3 | * 39+3"},
      {"INIT_PROP_CACHE_FDB", SA(INIT_PROP_CACHE_FDB), " PI", "00", "", "", 2, 16, 0, 3, "0+3 3+2 5+3 | 8+4b"},
      {"INIT_SAA_FDB", SA(INIT_SAA_FDB), " PI", "00", "", "", 2, 32, 1, 3, "0+4b 8+3 11+2"},
      {"INIT_PCB_FDB", SA(INIT_PCB_FDB), " PI", "00", "", "", 2, 640, 0, 3, "0+4b 4+3 7+2 9+1b 10+30 148+2b 150+1b"},
      {"INIT_CDB_FDB", SA(INIT_CDB_FDB), " PI", "00", "", "", 2, 6, 0, 3, "0+1"},
      {"INIT_STF_FDB", SA(INIT_STF_FDB), " PI", "00", "", "", 2, 72, 0, 3, "0+8"},
      {"em_cache_fdb", SA(em_cache_fdb), " EM", "00", "", "", 2, 1348, 0, 3, "13+1b 8+3 11+2 14+30 44+3 | * 48+1b"},
      {"em_cap_fdb", SA(em_cap_fdb), " EM", "00", "", "", 2, 124, 0, 3, "0+3"},
      {"em_cfi_fdb", SA(em_cfi_fdb), " EM", "00", "", "", 2, 160, 0, 3, "4+3 9+8 | 72+2b | 4+3 92+4b | 4+3 96+4b"},
      {"em_cfld_fdb", SA(em_cfld_fdb), " EM", "00", "", "", 2, 88, 0, 3, "0+3 3+22 | * 0+3 36+4b | * 0+3 36+4b 44+1b | * 0+3 36+4b 40+2b"},
      {"em_clib_fdb", SA(em_clib_fdb), " EM", "00", "", "", 2, 48, 0, 3, "36+4b | 0+3 3+30"},
      {"em_cfrm_fdb", SA(em_cfrm_fdb), " EM", "00", "", "", 2, 140, 0, 3, "8+4b | 0+1b 4+4b | 0+1b 73+3 76+22 98+2b 4+4b"},
      {"em_cimg_fdb", SA(em_cimg_fdb), " EM", "00", "", "", 2, 200, 0, 3, "144+4b | 0+4b 4+1b"},
      {"em_cchld_fdb", SA(em_cchld_fdb), " EM", "00", "", "", 2, 176, 0, 3, "0+4b | * 4+4b 8+4b | * 12+4b 16+1b | * 4+4b 12+4b 62+4"},
      {"em_cnst_fdb", BARE(em_cnst_fdb), " EM", "00", "", "", 2, 32767, 1, 2, ""},
      {"em_cnv_fdb", BARE(em_cnv_fdb), " EM", "00", "", "", 2, 204, 1, 2, ""},
      {"em_ctoken_fdb", SA(em_ctoken_fdb), " EM", "00", "", "", 2, 28, 0, 3, "0+3 3+1b 4+22"},
      {"em_dlf_fdb", SA(em_dlf_fdb), " EM", "00", "", "", 2, 28, 0, 3, "0+1b 1+3 4+4b 20+1b 8+4b"},
      {"em_em_qslct_fdb", BARE(em_em_qslct_fdb), " EM", "00", "", "", 2, 112, 0, 2, ""},
      {"em_em_qsort_fdb", BARE(em_em_qsort_fdb), " EM", "00", "", "", 2, 92, 0, 2, ""},
      {"em_kdb_fdb", BARE(em_kdb_fdb), " EM", "00", "", "", 2, 2024, 1, 2, ""},
      {"em_sdb_fdb", BARE(em_sdb_fdb), " EM", "00", "", "", 2, 2024, 1, 2, ""},
      {"em_pcf_key_fdb", SA(em_pcf_key_fdb), " EM", "00", "", "", 2, 8, 0, 3, "0+2b 2+2b"},
      {"em_recurse_fdb", SA(em_recurse_fdb), " EM", "00", "", "", 2, 40, 0, 3, "0+3 3+30"},
      {"em_scan_fdb", SA(em_scan_fdb), " EM", "00", "", "", 2, 12, 0, 3, "0+2b 2+1b 4+4b | * 0+2b 8+1b"},
      {"em_scan_bud_fdb", BARE(em_scan_bud_fdb), " EM", "00", "", "", 2, 4, 1, 2, ""},
      {"em_sum_ref_fdb", SA(em_sum_ref_fdb), " EM", "00", "", "", 2, 24, 0, 3, "4+4b 8+2b | 11+3 16+4b 20+4b"},
      {"em_cdlu_fdb", SA(em_cdlu_fdb), " EM", "00", "", "", 2, 24, 0, 3, "0+2b"},
  };
}

class FmCat : public ::testing::Test {
 protected:
  void SetUp() override {
    bi_init_com();
    pool = mm_create_pool(" FMCATTEST ", 0, 0);
  }
  void TearDown() override { mm_destroy_pool(pool); }
  MmPool pool = 0;
};

}  // namespace

TEST_F(FmCat, EveryBuilderMatchesItsFile) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  auto list = expectations();
  int table_count = 0;
  fm_cat_table(&table_count);
  EXPECT_EQ(size_t(table_count), list.size()) << "a builder of the catalogue has no expectation here";
  for (const Expect& e : list) {
    SCOPED_TRACE(e.builder);
    ASSERT_NE(fm_cat_find(e.builder), nullptr);
    FmFdb f;
    std::memset(static_cast<void*>(&f), 0x5A, sizeof f);
    e.build(&f, kdb, sdb);
    EXPECT_EQ(f.app.str(), std::string(e.app).substr(0, std::string(e.app).find_last_not_of(' ') + 1));
    EXPECT_EQ(f.ver.str(), e.ver);
    EXPECT_EQ(f.name.str(), e.name);
    EXPECT_EQ(f.src_app.str(), e.src_app);
    EXPECT_EQ(f.src_ver.str(), std::string(e.src_app) == "APP" ? "07" : "");
    EXPECT_EQ(int(f.fclass), e.fclass);
    EXPECT_EQ(int(f.rec_len), e.rec_len);
    EXPECT_EQ(int(f.var), e.var);
    EXPECT_EQ(int(f.org), e.org);
    EXPECT_EQ(int(f.status), 0);
    std::vector<Key> want = keys_of(e.keys);
    ASSERT_EQ(int(f.key_count), int(want.size()));
    if (want.empty()) {
      EXPECT_FALSE(f.kdb);
      continue;
    }
    ASSERT_EQ(f.kdb.get(), kdb);
    for (size_t k = 0; k < want.size(); ++k) {
      SCOPED_TRACE("key " + std::to_string(k));
      const FmKdb& d = kdb[k];
      EXPECT_EQ(int(d.key_no), int(k));
      EXPECT_EQ(d.order, '+');
      EXPECT_EQ(bool(d.flags & FM_KEY_DUP), want[k].dup);
      EXPECT_EQ(bool(d.flags & FM_KEY_PRIMARY), k == 0);
      ASSERT_EQ(int(d.seg_count), int(want[k].segs.size()));
      int len = 0;
      for (size_t s = 0; s < want[k].segs.size(); ++s) {
        const FmSdb& g = d.segs.get()[s];
        Seg got{g.offset, g.length, g.type == FM_SEG_BINARY};
        EXPECT_EQ(got, want[k].segs[s]) << "segment " << s;
        EXPECT_EQ(g.order, '+');
        EXPECT_LE(g.offset + g.length, e.rec_len);
        len += g.length;
      }
      EXPECT_EQ(int(d.key_len), len);
    }
  }
}

TEST_F(FmCat, DictionaryFilesOfSystemApplicationsUseVersion00) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb f;
  INIT_DELEM_FDB(&f, kdb, sdb, "0LA", "05");
  EXPECT_EQ(f.src_app.str(), "0LA");
  EXPECT_EQ(f.src_ver.str(), "00");
  INIT_DELEM_FDB(&f, kdb, sdb, "APP", "05");
  EXPECT_EQ(f.src_ver.str(), "05");
  // The SORT key alone.
  FmKdb k;
  FmSdb* s = sdb;
  INIT_DSORT_KDB(&k, s);
  EXPECT_EQ(int(k.seg_count), 5);
  EXPECT_EQ(int(k.key_len), 40);
  // A builder without its areas reports instead of writing through null.
  FmFdb bad;
  INIT_DELEM_FDB(&bad, nullptr, nullptr, "APP", "01");
  EXPECT_EQ(bad.status, FM_ST_SYS);
}
