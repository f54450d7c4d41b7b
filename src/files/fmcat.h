// The file catalogue: the descriptor of every system, dictionary and work
// file the engine knows by name.
//
// Each builder fills an FDB (from the default, then the identity) and, for
// keyed files, the caller's key-descriptor and segment areas. The areas must
// be arena memory (pool blocks): FM_CAT_KDB_AREA key descriptors and
// FM_CAT_SDB_AREA segments are enough for every file of the catalogue.
// Dictionary builders take the owning application and version (version "00"
// for the system applications); System Administration builders set the
// "0SA" identity; builders of work files whose identity the caller chooses
// (em_citm_fdb, em_cchr_fdb, INIT_DPROP_FDB, INIT_DSTRUCT_FDB) leave it blank.
//
// The layouts are data: one table in fmcat.cpp, in the notation
//   "off+len" alpha segment, "off+lenb" binary (unsigned) segment,
//   segments of a key separated by ',', keys by ';', "dup:" before a key
//   that allows duplicates.
#pragma once

#include <cstdint>

#include "files/fm.h"

constexpr int FM_CAT_KDB_AREA = 17;
constexpr int FM_CAT_SDB_AREA = 64;

// SYSDIR record of System Administration (576 bytes): the directory entry
// of a permanent file.
struct FmSysdirRec {
  rec::Text<3> db;          // key: database id
  rec::Text<3> app;         //      application
  rec::Text<2> ver;         //      version (blank but for "0LA")
  rec::Text<8> name;        //      file name
  rec::U32 dir_opts;        // directory options word (passed to FM_CREATE)
  rec::Text<256> dir;       // directory of the file; blank: the path template's
  rec::Bytes<291> spare;
  rec::U8 option;           // '0' withdrawn (being restructured); '1' or blank in use
  rec::Bytes<8> spare2;
};
QV_RECORD(FmSysdirRec, 576);
QV_AT(FmSysdirRec, dir_opts, 16);
QV_AT(FmSysdirRec, dir, 20);
QV_AT(FmSysdirRec, option, 567);

// The SYSDIR key of a described file, as the open looks it up: database;
// for dictionary files ("0AD") the source application and version; "0LA"
// with its version, other applications with two blanks; the file name. The
// rest of the entry is blank (directory: the path template's) and zero.
void fm_cat_sysdir_entry(const FmFdb* fdb, FmSysdirRec* entry);

// One file of the catalogue.
struct FmCatEntry {
  const char* builder;   // "INIT_DELEM_FDB"
  const char* file;      // file name (8, blank padded), "" when the caller names it
  int ident;             // FM_CAT_* below
  const char* area;      // unique work files: the two codes
  const char* code;
  uint8_t fclass;        // 1 disk, 2 memory
  uint16_t rec_len;
  uint8_t var;           // 1 variable-length records (rec_len the maximum)
  uint8_t org;           // 0: from the key count; 1 single record
  const char* keys;      // key layout in the notation above ("" for none)
  const char* note;      // where the layout comes from when it is not given whole
};
enum { FM_CAT_DICT = 1, FM_CAT_SA, FM_CAT_LA, FM_CAT_UNIQUE, FM_CAT_CALLER };

// The table, and a look-up by builder name (null when unknown).
const FmCatEntry* fm_cat_table(int* count);
const FmCatEntry* fm_cat_find(const char* builder);
// Fills a descriptor from an entry; 1, or 0 with status 200650 in the FDB
// when the areas are missing. app / ver: the dictionary's owner.
int fm_cat_fill(const FmCatEntry* e, FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app,
                const char* ver);

// Dictionary files of an application and version.
void INIT_DPROC_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DROW_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DCHLD_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DSLCT_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DSORT_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DSORT_KDB(FmKdb* kdb, FmSdb* sdb);
void INIT_DELEM_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DFI_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DITM_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DSTMT_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DCHR_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DIMG_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DFRM_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DTOKEN_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DFLD_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DREC_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DDOM_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DINIT_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DBITMAP_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DXCEPT_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver);
void INIT_DPARM_FDB(FmFdb* fdb, const char* app, const char* ver);
// Opens the dictionary file `init` describes, for access `access` at scope:
// placed by SYSDIR, or at its default place when SYSDIR has no entry for
// it (a dictionary not yet registered). 1, or 0 with the status in the FDB.
using FmDictInit = void (*)(FmFdb*, FmKdb*, FmSdb*, const char*, const char*);
int fm_open_dict(FmFdb* fdb, FmDictInit init, FmKdb* kdb, FmSdb* sdb, const char* app, const char* ver, int scope,
                 int access = 1);

// System Administration files.
void INIT_DAP_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_DSYSDIR_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_DDBXAP_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_DFORM_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_DPRTR_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_DHOOK_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_DUSR_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_DDB_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_DPROF_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_DSYSPARM_FDB(FmFdb* fdb);
// Files whose identity the caller sets.
void INIT_DPROP_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_DSTRUCT_FDB(FmFdb* fdb);
void em_citm_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_cchr_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
// Sub-files of an executable module: unique memory work files "EM" and the
// file's code (the module's own files; em_citm_fdb and em_cchr_fdb leave the
// identity to the caller, which names them "EM"/"IT" and "EM"/"CR").
void em_cache_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_cap_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_cfi_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_cfld_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_clib_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_cfrm_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_cimg_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_cchld_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_ctoken_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_dlf_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_pcf_key_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_recurse_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_scan_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_sum_ref_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_cdlu_fdb(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void em_cnst_fdb(FmFdb* fdb);
void em_cnv_fdb(FmFdb* fdb);
void em_em_qslct_fdb(FmFdb* fdb);
void em_em_qsort_fdb(FmFdb* fdb);
void em_kdb_fdb(FmFdb* fdb);
void em_sdb_fdb(FmFdb* fdb);
void em_scan_bud_fdb(FmFdb* fdb);
// Work files of the runtime application and of modules.
void INIT_QPARM_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, int scope);
void INIT_QSLCT_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, int scope);
void INIT_QSORT_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, int scope);
void INIT_QTAG_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb, int scope);
void INIT_ERR_FDB(FmFdb* fdb);
void INIT_CMPLERR_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_INST_FDB(FmFdb* fdb);
void INIT_TOC_FDB(FmFdb* fdb);
// Work files of the process runner: the hook copy, the property cache, the
// shared-area records, the PCBs, the constraints, the suspend file list.
void INIT_MHOOK_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_PROP_CACHE_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_SAA_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_PCB_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_CDB_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
void INIT_STF_FDB(FmFdb* fdb, FmKdb* kdb, FmSdb* sdb);
