// Dictionary records: the table of records with field lists (see dictrec.h).
#include "files/dictrec.h"

#include <cstring>

namespace {

#define R(file, builder, T, list) \
  DictRecDesc { file, builder, uint16_t(sizeof(T)), list, int(sizeof list / sizeof list[0]) }

const DictRecDesc kRecs[] = {
    // design dictionary of an application
    R("PROCESS ", "INIT_DPROC_FDB", DProc, kFldProc),
    R("FRAME   ", "INIT_DFRM_FDB", DFrame, kFldFrame),
    R("IMAGE   ", "INIT_DIMG_FDB", DImage, kFldImage),
    R("ROW     ", "INIT_DROW_FDB", DRow, kFldRow),
    R("CHR     ", "INIT_DCHR_FDB", DChr, kFldChr),
    R("ITEM    ", "INIT_DITM_FDB", DItem, kFldItem),
    R("CHILD   ", "INIT_DCHLD_FDB", DChild, kFldChild),
    R("SELECT  ", "INIT_DSLCT_FDB", DSelect, kFldSelect),
    R("SORT    ", "INIT_DSORT_FDB", DSort, kFldSort),
    R("STMT    ", "INIT_DSTMT_FDB", DStmt, kFldStmt),
    R("FILE    ", "INIT_DFI_FDB", DFile, kFldFile),
    R("RECORD  ", "INIT_DREC_FDB", DRecord, kFldRecord),
    R("FIELD   ", "INIT_DFLD_FDB", DField, kFldField),
    R("ELEMENT ", "INIT_DELEM_FDB", DElem, kFldElem),
    R("TOKEN   ", "INIT_DTOKEN_FDB", CvTokenRec, kFldToken),
    R("DOMAIN  ", "INIT_DDOM_FDB", DDomain, kFldDomain),
    R("INITIAL ", "INIT_DINIT_FDB", DInit, kFldInit),
    R("BITMAP  ", "INIT_DBITMAP_FDB", DBitmap, kFldBitmap),
    R("PARAM   ", "INIT_DPARM_FDB", DParam, kFldParam),
    R("ATRIBUTE", "INIT_DPROP_FDB", DAtribute, kFldAtribute),
    // System Administration
    R("APPL    ", "INIT_DAP_FDB", DAppl, kFldAppl),
    R("USER    ", "INIT_DUSR_FDB", DUser, kFldUser),
    R("DATABASE", "INIT_DDB_FDB", DDatabase, kFldDatabase),
    R("DBXAP   ", "INIT_DDBXAP_FDB", DDbxap, kFldDbxap),
    R("PROFILE ", "INIT_DPROF_FDB", DProfile, kFldProfile),
    R("SYSPARM ", "INIT_DSYSPARM_FDB", DSysparm, kFldSysparm),
    R("HOOK    ", "INIT_DHOOK_FDB", DHook, kFldHook),
    R("FORM    ", "INIT_DFORM_FDB", DForm, kFldForm),
    R("PRINTER ", "INIT_DPRTR_FDB", DPrinter, kFldPrinter),
    R("SYSDIR  ", "INIT_DSYSDIR_FDB", FmSysdirRec, kFldSysdir),
    // runtime application
    R("CMPLERR ", "INIT_CMPLERR_FDB", DCmplErr, kFldCmplErr),
    R("ERROR   ", "INIT_ERR_FDB", ErrDisplay, kFldErrDisplay),
    R("MESSAGE ", "", LaMsgRec, kFldMessage),
};

// Compares a name with a blank-padded 8-character file name.
bool same_file(const char* padded, const char* name) {
  size_t n = std::strlen(name);
  if (n > 8) return false;
  if (std::memcmp(padded, name, n) != 0) return false;
  for (size_t i = n; i < 8; ++i)
    if (padded[i] != ' ') return false;
  return true;
}

}  // namespace

const DictRecDesc* dict_rec_table(int* count) {
  if (count) *count = int(sizeof kRecs / sizeof kRecs[0]);
  return kRecs;
}

const DictRecDesc* dict_rec_find(const char* name) {
  if (!name) return nullptr;
  for (const DictRecDesc& r : kRecs)
    if (same_file(r.file, name) || (*r.builder && std::strcmp(r.builder, name) == 0)) return &r;
  return nullptr;
}

const DictField* dict_field_find(const DictRecDesc* r, const char* name) {
  if (!r || !name) return nullptr;
  for (int i = 0; i < r->count; ++i)
    if (std::strcmp(r->fields[i].name, name) == 0) return &r->fields[i];
  return nullptr;
}
