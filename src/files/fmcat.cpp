// The file catalogue: one table of every file the engine describes by name,
// and the builders that fill descriptors from it.
#include "files/fmcat.h"

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "files/fmint.h"
#include "foundation/bi.h"
#include "foundation/ut.h"

namespace {

// The owner key of the design records: process type, process name, frame
// class, frame number, image number, the owner's numbering field, number.
#define OWNER7 "0+1b,1+30,31+1b,32+4b,36+1b,37+3,40+4b"

const FmCatEntry kTable[] = {
    // builder, file, identity, area, code, class, record, var, org, keys, note
    // ----- dictionary files of an application -----------------------------------
    {"INIT_DPROC_FDB", "PROCESS ", FM_CAT_DICT, "", "", 1, 440, 0, 0, "0+1b,1+30", ""},
    {"INIT_DROW_FDB", "ROW     ", FM_CAT_DICT, "", "", 1, 296, 1, 0, OWNER7, ""},
    {"INIT_DCHLD_FDB", "CHILD   ", FM_CAT_DICT, "", "", 1, 188, 0, 0, OWNER7,
     "key: byte 37 (discriminator) and 38-39 as the 3-character field of the ROW key; child number 40"},
    {"INIT_DSLCT_FDB", "SELECT  ", FM_CAT_DICT, "", "", 1, 144, 0, 0, OWNER7 ",44+4b",
     "key not given: the owner key of the design records and a line number at 44"},
    {"INIT_DSORT_FDB", "SORT    ", FM_CAT_DICT, "", "", 1, 108, 0, 0, "0+1b,1+30,31+1b,32+4b,36+4b", ""},
    {"INIT_DELEM_FDB", "ELEMENT ", FM_CAT_DICT, "", "", 1, 592, 0, 0,
     "5+22; 4+1,5+22; dup:56+8,64+4b; dup:0+4b; 68+4b,72+4b", ""},
    {"INIT_DFI_FDB", "FILE    ", FM_CAT_DICT, "", "", 1, 304, 0, 0, "0+8; 100+4b; 104+4b", ""},
    {"INIT_DITM_FDB", "ITEM    ", FM_CAT_DICT, "", "", 1, 204, 0, 0, OWNER7 ",44+4b", ""},
    {"INIT_DSTMT_FDB", "STMT    ", FM_CAT_DICT, "", "", 1, 152, 0, 0,
     "0+1b,1+30,31+1b,32+4b,36+1b,37+1b,38+2,40+4b,44+1b,45+3,48+4b", ""},
    {"INIT_DCHR_FDB", "CHR     ", FM_CAT_DICT, "", "", 1, 64, 0, 0, OWNER7 ",44+4b", ""},
    {"INIT_DIMG_FDB", "IMAGE   ", FM_CAT_DICT, "", "", 1, 228, 0, 0, "0+1b,1+30,31+1b,32+4b,36+1b", ""},
    {"INIT_DFRM_FDB", "FRAME   ", FM_CAT_DICT, "", "", 1, 976, 0, 0, "0+1b,1+30,31+1b,32+4b", ""},
    {"INIT_DTOKEN_FDB", "TOKEN   ", FM_CAT_DICT, "", "", 1, 60, 0, 0, "0+1b,1+22,24+4b; 0+1b,1+22,28+30",
     ""},
    {"INIT_DFLD_FDB", "FIELD   ", FM_CAT_DICT, "", "", 1, 604, 0, 0,
     "5+22; 4+1,5+22; dup:0+4b; dup:56+8,64+4b; dup:27+1b,28+22", ""},
    {"INIT_DREC_FDB", "RECORD  ", FM_CAT_DICT, "", "", 1, 212, 0, 0, "0+8", ""},
    {"INIT_DDOM_FDB", "DOMAIN  ", FM_CAT_DICT, "", "", 1, 584, 0, 0, "0+1b,1+22; dup:1+22", ""},
    {"INIT_DINIT_FDB", "INITIAL ", FM_CAT_DICT, "", "", 1, 1013, 1, 0, "0+8,8+1b,9+4b", ""},
    {"INIT_DBITMAP_FDB", "BITMAP  ", FM_CAT_DICT, "", "", 1, 212, 0, 0, "0+4b,4+4b", ""},
    {"INIT_DXCEPT_FDB", "EXCEPT  ", FM_CAT_DICT, "", "", 1, 2196, 0, 0,
     "0+8,8+22,30+2,32+80,112+3,115+1,116+2b", ""},
    {"INIT_DPARM_FDB", "PARAM   ", FM_CAT_DICT, "", "", 1, 232, 0, FM_ORG_SINGLE, "", ""},
    // ----- System Administration ---------------------------------------------------
    {"INIT_DAP_FDB", "APPL    ", FM_CAT_SA, "", "", 1, 324, 0, 0, "4+3,7+2", ""},
    {"INIT_DSYSDIR_FDB", "SYSDIR  ", FM_CAT_SA, "", "", 1, 576, 0, 0, "0+3,3+3,6+2,8+8", ""},
    {"INIT_DDBXAP_FDB", "DBXAP   ", FM_CAT_SA, "", "", 1, 104, 0, 0, "0+3,3+3",
     "record length decided: the key, the phase byte (6) and two 48-byte print-default blocks at 8 and 56"},
    {"INIT_DUSR_FDB", "USER    ", FM_CAT_SA, "", "", 1, 364, 0, 0, "0+3",
     "record length decided: the second 48-byte print-default block ends at 364"},
    {"INIT_DDB_FDB", "DATABASE", FM_CAT_SA, "", "", 1, 284, 0, 0, "0+3",
     "record length decided: the second 48-byte print-default block ends at 284"},
    {"INIT_DPROF_FDB", "PROFILE ", FM_CAT_SA, "", "", 1, 192, 0, 0, "0+30,30+3",
     "record length decided: a 128-byte bit map from 64 (security codes 0-1023)"},
    {"INIT_DSYSPARM_FDB", "SYSPARM ", FM_CAT_SA, "", "", 1, 355, 0, FM_ORG_SINGLE, "",
     "record length decided: the save-module defaults end at 355"},
    {"INIT_DFORM_FDB", "FORM    ", FM_CAT_SA, "", "", 1, 252, 0, 0, "0+10; dup:10+80", ""},
    {"INIT_DPRTR_FDB", "PRINTER ", FM_CAT_SA, "", "", 1, 328, 0, 0, "0+10; 10+80", ""},
    {"INIT_DHOOK_FDB", "HOOK    ", FM_CAT_SA, "", "", 1, 82, 0, 0,
     "0+3,3+2,5+1b,6+30,36+3,39+3; dup:39+3", ""},
    // ----- identity set by the caller ----------------------------------------------
    {"INIT_DPROP_FDB", "ATRIBUTE", FM_CAT_CALLER, "", "", 1, 406, 0, 0, "0+8,8+128,136+14", ""},
    {"INIT_DSTRUCT_FDB", "", FM_CAT_CALLER, "", "", 1, 1016, 1, 0, "", ""},
    {"em_citm_fdb", "", FM_CAT_CALLER, "", "", 2, 392, 0, 0,
     "0+4b,4+4b,8+4b; 0+4b,253+3,256+22,278+2b,4+4b,8+4b; dup:280+4b,253+3; dup:0+4b,292+2b", ""},
    {"em_cchr_fdb", "", FM_CAT_CALLER, "", "", 2, 40, 0, 0, "0+4b,4+4b,8+4b; dup:0+4b,28+4b,32+4b", ""},
    // ----- sub-files of an executable module ("EM" and a code each) ----------------
    {"em_cache_fdb", "", FM_CAT_UNIQUE, "EM", "CA", 2, 1348, 0, 0, "13+1b,8+3,11+2,14+30,44+3; dup:48+1b", ""},
    {"em_cap_fdb", "", FM_CAT_UNIQUE, "EM", "AP", 2, 124, 0, 0, "0+3", ""},
    {"em_cfi_fdb", "", FM_CAT_UNIQUE, "EM", "FI", 2, 160, 0, 0, "4+3,9+8; 72+2b; 4+3,92+4b; 4+3,96+4b", ""},
    {"em_cfld_fdb", "", FM_CAT_UNIQUE, "EM", "FL", 2, 88, 0, 0,
     "0+3,3+22; dup:0+3,36+4b; dup:0+3,36+4b,44+1b; dup:0+3,36+4b,40+2b", ""},
    {"em_clib_fdb", "", FM_CAT_UNIQUE, "EM", "LI", 2, 48, 0, 0, "36+4b; 0+3,3+30", ""},
    {"em_cfrm_fdb", "", FM_CAT_UNIQUE, "EM", "FR", 2, 140, 0, 0, "8+4b; 0+1b,4+4b; 0+1b,73+3,76+22,98+2b,4+4b", ""},
    {"em_cimg_fdb", "", FM_CAT_UNIQUE, "EM", "IM", 2, 200, 0, 0, "144+4b; 0+4b,4+1b", ""},
    {"em_cchld_fdb", "", FM_CAT_UNIQUE, "EM", "CL", 2, 176, 0, 0,
     "0+4b; dup:4+4b,8+4b; dup:12+4b,16+1b; dup:4+4b,12+4b,62+4", ""},
    {"em_cnst_fdb", "", FM_CAT_UNIQUE, "EM", "CN", 2, 32767, 1, 0, "", ""},
    {"em_cnv_fdb", "", FM_CAT_UNIQUE, "EM", "CV", 2, 204, 1, 0, "", ""},
    {"em_ctoken_fdb", "", FM_CAT_UNIQUE, "EM", "CT", 2, 28, 0, 0, "0+3,3+1b,4+22", ""},
    {"em_dlf_fdb", "", FM_CAT_UNIQUE, "EM", "LF", 2, 28, 0, 0, "0+1b,1+3,4+4b,20+1b,8+4b", ""},
    {"em_em_qslct_fdb", "", FM_CAT_UNIQUE, "EM", "QL", 2, 112, 0, 0, "", ""},
    {"em_em_qsort_fdb", "", FM_CAT_UNIQUE, "EM", "QO", 2, 92, 0, 0, "", ""},
    {"em_kdb_fdb", "", FM_CAT_UNIQUE, "EM", "KD", 2, 2024, 1, 0, "", ""},
    {"em_sdb_fdb", "", FM_CAT_UNIQUE, "EM", "SD", 2, 2024, 1, 0, "", ""},
    {"em_pcf_key_fdb", "", FM_CAT_UNIQUE, "EM", "PK", 2, 8, 0, 0, "0+2b,2+2b", ""},
    {"em_recurse_fdb", "", FM_CAT_UNIQUE, "EM", "RC", 2, 40, 0, 0, "0+3,3+30", ""},
    {"em_scan_fdb", "", FM_CAT_UNIQUE, "EM", "SC", 2, 12, 0, 0, "0+2b,2+1b,4+4b; dup:0+2b,8+1b", ""},
    {"em_scan_bud_fdb", "", FM_CAT_UNIQUE, "EM", "SB", 2, 4, 1, 0, "", ""},
    {"em_sum_ref_fdb", "", FM_CAT_UNIQUE, "EM", "SR", 2, 24, 0, 0, "4+4b,8+2b; 11+3,16+4b,20+4b", ""},
    {"em_cdlu_fdb", "", FM_CAT_UNIQUE, "EM", "DL", 2, 24, 0, 0, "0+2b", ""},
    // ----- work files ---------------------------------------------------------------
    {"INIT_QPARM_FDB", "QPARM   ", FM_CAT_LA, "", "", 2, 1644, 0, 0, "0+3,3+30", ""},
    {"INIT_QSLCT_FDB", "QSLCT   ", FM_CAT_LA, "", "", 2, 112, 0, 0, "0+3,3+30,33+1b,34+2,36+4b", ""},
    {"INIT_QSORT_FDB", "QSORT   ", FM_CAT_LA, "", "", 2, 92, 0, 0, "0+3,3+30,33+3,36+4b", ""},
    {"INIT_QTAG_FDB", "QTAG    ", FM_CAT_LA, "", "", 2, 1064, 1, 0, "0+3,3+30,33+3,36+4b", ""},
    {"INIT_ERR_FDB", "ERROR   ", FM_CAT_LA, "", "", 2, 1265, 0, 0, "", ""},
    {"INIT_CMPLERR_FDB", "CMPLERR ", FM_CAT_LA, "", "", 2, 1128, 0, 0, "0+3,3+2,5+1b,6+30,36+4b",
     "file class decided: memory-resident, one per session"},
    {"INIT_INST_FDB", "", FM_CAT_UNIQUE, "IN", "IN", 2, 2024, 0, 0, "", ""},
    {"INIT_TOC_FDB", "", FM_CAT_UNIQUE, "DB", "TC", 2, 12, 0, 0, "", ""},
    // ----- work files of the process runner ("PI" and a code each) ----------------
    {"INIT_MHOOK_FDB", "", FM_CAT_UNIQUE, "PI", "HK", 2, 82, 0, 0,
     "0+3,3+2,5+1b,6+30,36+3,39+3; dup:39+3", ""},
    {"INIT_PROP_CACHE_FDB", "", FM_CAT_UNIQUE, "PI", "PR", 2, 16, 0, 0, "0+3,3+2,5+3; 8+4b", ""},
    {"INIT_SAA_FDB", "", FM_CAT_UNIQUE, "PI", "SA", 2, 32, 1, 0, "0+4b,8+3,11+2",
     "variable length: 32 bytes and 16 per slot"},
    {"INIT_PCB_FDB", "", FM_CAT_UNIQUE, "PI", "PC", 2, 640, 0, 0,
     "0+4b,4+3,7+2,9+1b,10+30,148+2b,150+1b", ""},
    {"INIT_CDB_FDB", "", FM_CAT_UNIQUE, "PI", "CD", 2, 6, 0, 0, "0+1", ""},
    {"INIT_STF_FDB", "", FM_CAT_UNIQUE, "PI", "ST", 2, 72, 0, 0, "0+8",
     "record decided: the 8-character session id, then the suspend file's name"},
};
constexpr int kCount = int(sizeof kTable / sizeof kTable[0]);

// Parses the key notation into descriptors; the number of keys, -1 on error.
int parse_keys(const char* text, FmKdb* kdb, FmSdb* sdb) {
  int nkeys = 0, nseg = 0;
  const char* p = text;
  while (*p) {
    while (*p == ' ' || *p == ';') ++p;
    if (!*p) break;
    int flags = 8;
    if (std::strncmp(p, "dup:", 4) == 0) {
      flags = 9;
      p += 4;
    }
    FmSdb* first = sdb + nseg;
    int count = 0;
    while (*p && *p != ';') {
      while (*p == ' ' || *p == ',') ++p;
      if (!*p || *p == ';') break;
      char* end;
      long off = std::strtol(p, &end, 10);
      if (*end != '+') return -1;
      long len = std::strtol(end + 1, &end, 10);
      int type = FM_SEG_ALPHA;
      if (*end == 'b') {
        type = FM_SEG_BINARY;
        ++end;
      }
      int order = '+';
      if (*end == '-') {
        order = '-';
        ++end;
      }
      if (nseg >= FM_CAT_SDB_AREA) return -1;
      init_sdb_func(sdb + nseg, count + 1, int(off), int(len), type, order);
      ++nseg;
      ++count;
      p = end;
    }
    if (nkeys >= FM_CAT_KDB_AREA) return -1;
    INIT_KDB(kdb + nkeys, nkeys, '+', flags, first, count);
    ++nkeys;
  }
  return nkeys;
}

void fill(const char* builder, FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver) {
  const FmCatEntry* e = fm_cat_find(builder);
  fm_cat_fill(e, fdb, kdb, sdb, app, ver);
}

}  // namespace

const FmCatEntry* fm_cat_table(int* count) {
  if (count) *count = kCount;
  return kTable;
}

const FmCatEntry* fm_cat_find(const char* builder) {
  // (Every file block a module or a compile makes looks its row up here.)
  static const std::unordered_map<std::string_view, const FmCatEntry*> by_builder = [] {
    std::unordered_map<std::string_view, const FmCatEntry*> m;
    for (const FmCatEntry& e : kTable) m.emplace(e.builder, &e);
    return m;
  }();
  auto it = by_builder.find(builder);
  return it == by_builder.end() ? nullptr : it->second;
}

int fm_cat_fill(const FmCatEntry* e, FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver) {
  if (!e) {
    *fdb = fm_fdb;
    return fmi::bad(fdb, "no such file in the catalogue");
  }
  bool keyed = e->keys && *e->keys;
  int nkeys = 0;
  if (keyed) {
    if (!kdb || !sdb) {
      *fdb = fm_fdb;
      return fmi::bad(fdb, "%s: no key descriptor area", e->builder);
    }
    nkeys = parse_keys(e->keys, kdb, sdb);
    if (nkeys < 0) {
      *fdb = fm_fdb;
      return fmi::bad(fdb, "%s: bad key layout %s", e->builder, e->keys);
    }
  }
  INIT_FDB(fdb, e->fclass, e->rec_len, e->var, nkeys ? kdb : nullptr, nkeys);
  if (e->org) fdb->org = e->org;
  switch (e->ident) {
    case FM_CAT_DICT: {
      char a[4] = "   ", v[3] = "  ";
      if (app) std::memcpy(a, app, strnlen(app, 3));
      if (ver) std::memcpy(v, ver, strnlen(ver, 2));
      if (IS_ZUB_AP(a)) std::memcpy(v, "00", 2);
      INIT_SRC_PATH(fdb, a, v, e->file, FM_PT_DATA);
      break;
    }
    case FM_CAT_SA: INIT_SA_PATH(fdb, e->file, FM_PT_DATA); break;
    case FM_CAT_LA: INIT_LA_PATH(fdb, "00", e->file, FM_PT_DATA); break;
    case FM_CAT_UNIQUE: INIT_UNIQUE_PATH(fdb, e->area, e->code, FM_PT_DATA); break;
    default: fdb->name.set(e->file); break;
  }
  fdb->fclass = e->fclass;
  return 1;
}

void fm_cat_sysdir_entry(const FmFdb* fdb, FmSysdirRec* e) {
  std::memset(static_cast<void*>(e), ' ', sizeof *e);
  e->dir_opts = 0;
  e->db.set(fdb->db.view());
  if (fdb->app == "0AD") {
    e->app.set(fdb->src_app.view());
    e->ver.set(fdb->src_ver.view());
  } else {
    e->app.set(fdb->app.view());
    e->ver.set(fdb->app == "0LA" ? fdb->ver.view() : "  ");
  }
  e->name.set(fdb->name.view());
}

#define DICT_BUILDER(fn)                                                                    \
  void fn(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver) {           \
    fill(#fn, fdb, kdb, sdb, app, ver);                                                     \
  }
DICT_BUILDER(INIT_DPROC_FDB)
DICT_BUILDER(INIT_DROW_FDB)
DICT_BUILDER(INIT_DCHLD_FDB)
DICT_BUILDER(INIT_DSLCT_FDB)
DICT_BUILDER(INIT_DSORT_FDB)
DICT_BUILDER(INIT_DELEM_FDB)
DICT_BUILDER(INIT_DFI_FDB)
DICT_BUILDER(INIT_DITM_FDB)
DICT_BUILDER(INIT_DSTMT_FDB)
DICT_BUILDER(INIT_DCHR_FDB)
DICT_BUILDER(INIT_DIMG_FDB)
DICT_BUILDER(INIT_DFRM_FDB)
DICT_BUILDER(INIT_DTOKEN_FDB)
DICT_BUILDER(INIT_DFLD_FDB)
DICT_BUILDER(INIT_DREC_FDB)
DICT_BUILDER(INIT_DDOM_FDB)
DICT_BUILDER(INIT_DINIT_FDB)
DICT_BUILDER(INIT_DBITMAP_FDB)
DICT_BUILDER(INIT_DXCEPT_FDB)

void INIT_DPARM_FDB(FmFdb* fdb, const char* app, const char* ver) {
  fill("INIT_DPARM_FDB", fdb, nullptr, nullptr, app, ver);
}

void INIT_DSORT_KDB(FmKdb* kdb, FmSdb* sdb) { parse_keys(fm_cat_find("INIT_DSORT_FDB")->keys, kdb, sdb); }

#define KEYED_BUILDER(fn) \
  void fn(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb) { fill(#fn, fdb, kdb, sdb, nullptr, nullptr); }
KEYED_BUILDER(INIT_DAP_FDB)
KEYED_BUILDER(INIT_DSYSDIR_FDB)
KEYED_BUILDER(INIT_DDBXAP_FDB)
KEYED_BUILDER(INIT_DFORM_FDB)
KEYED_BUILDER(INIT_DPRTR_FDB)
KEYED_BUILDER(INIT_DHOOK_FDB)
KEYED_BUILDER(INIT_DUSR_FDB)
KEYED_BUILDER(INIT_DDB_FDB)
KEYED_BUILDER(INIT_DPROF_FDB)
KEYED_BUILDER(INIT_CMPLERR_FDB)
KEYED_BUILDER(INIT_DPROP_FDB)
KEYED_BUILDER(em_citm_fdb)
KEYED_BUILDER(em_cchr_fdb)
KEYED_BUILDER(em_cache_fdb)
KEYED_BUILDER(em_cap_fdb)
KEYED_BUILDER(em_cfi_fdb)
KEYED_BUILDER(em_cfld_fdb)
KEYED_BUILDER(em_clib_fdb)
KEYED_BUILDER(em_cfrm_fdb)
KEYED_BUILDER(em_cimg_fdb)
KEYED_BUILDER(em_cchld_fdb)
KEYED_BUILDER(em_ctoken_fdb)
KEYED_BUILDER(em_dlf_fdb)
KEYED_BUILDER(em_pcf_key_fdb)
KEYED_BUILDER(em_recurse_fdb)
KEYED_BUILDER(em_scan_fdb)
KEYED_BUILDER(em_sum_ref_fdb)
KEYED_BUILDER(em_cdlu_fdb)
KEYED_BUILDER(INIT_MHOOK_FDB)
KEYED_BUILDER(INIT_PROP_CACHE_FDB)
KEYED_BUILDER(INIT_SAA_FDB)
KEYED_BUILDER(INIT_PCB_FDB)
KEYED_BUILDER(INIT_CDB_FDB)
KEYED_BUILDER(INIT_STF_FDB)
#define PLAIN_BUILDER(fn) \
  void fn(FmFdb* fdb) { fill(#fn, fdb, nullptr, nullptr, nullptr, nullptr); }
PLAIN_BUILDER(em_cnst_fdb)
PLAIN_BUILDER(em_cnv_fdb)
PLAIN_BUILDER(em_em_qslct_fdb)
PLAIN_BUILDER(em_em_qsort_fdb)
PLAIN_BUILDER(em_kdb_fdb)
PLAIN_BUILDER(em_sdb_fdb)
PLAIN_BUILDER(em_scan_bud_fdb)

void INIT_DSTRUCT_FDB(FmFdb* fdb) { fill("INIT_DSTRUCT_FDB", fdb, nullptr, nullptr, nullptr, nullptr); }

#define QUERY_BUILDER(fn)                                           \
  void fn(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, int scope) {          \
    fill(#fn, fdb, kdb, sdb, nullptr, nullptr);                     \
    fdb->kind = FM_KIND_TEMP;                                       \
    fdb->scope = uint16_t(scope < 0 ? 0 : scope);                   \
  }
QUERY_BUILDER(INIT_QPARM_FDB)
QUERY_BUILDER(INIT_QSLCT_FDB)
QUERY_BUILDER(INIT_QSORT_FDB)
QUERY_BUILDER(INIT_QTAG_FDB)

void INIT_DSYSPARM_FDB(FmFdb* fdb) { fill("INIT_DSYSPARM_FDB", fdb, nullptr, nullptr, nullptr, nullptr); }
void INIT_ERR_FDB(FmFdb* fdb) { fill("INIT_ERR_FDB", fdb, nullptr, nullptr, nullptr, nullptr); }
void INIT_INST_FDB(FmFdb* fdb) { fill("INIT_INST_FDB", fdb, nullptr, nullptr, nullptr, nullptr); }
void INIT_TOC_FDB(FmFdb* fdb) { fill("INIT_TOC_FDB", fdb, nullptr, nullptr, nullptr, nullptr); }

int fm_open_dict(FmFdb* fdb, FmDictInit init, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver, int scope,
                 int access) {
  init(fdb, kdb, sdb, app, ver);
  if (FM_OPEN(fdb, scope, 0, access, 15)) return 1;
  if (fdb->status != FM_ST_NO_SYSDIR) return 0;
  init(fdb, kdb, sdb, app, ver);
  return FM_OPEN(fdb, scope, FM_OPT_NO_SYSDIR, access, 15);
}
