// A small dictionary in memory-resident files for the statement checks (the
// dictionary fixtures of tests/support write files of a data directory):
// application "ABC" version "01" (ELEMENT, FILE, TOKEN, PROCESS) and the
// predefined fields of "0LA".
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"

namespace setest {

struct MemDict {
  MmPool pool = 0;
  MemDict() {
    pool = mm_create_pool(nullptr, com.depth, 0);
    elem("ABC", "AMOUNT", 5, 4, 1);
    elem("ABC", "CUSTOMER NAME", 1, 30, 1);
    elem("ABC", "CODE", 1, 2, 1);
    elem("ABC", "LINES", 8, 8, 5);
    DElem& d = elem("ABC", "ORDER DATE", 7, 4, 1);   // a day's date in binary
    d.digits = 8;
    d.decimals = 5;
    d.mask.set("0807-06-05");
    elem("ABC", "PAID", 11, 1, 1);
    DElem& c = elem("ABC", "COLOR", 5, 4, 1);
    c.token_mark = 10;
    c.domain.set("COLOR");
    c.b591 = 3;   // four digits stored
    DElem& k = elem("ABC", "CUST NO", 1, 8, 1);
    k.key_kind = 0;
    elem("ABC", "NOT A KEY", 1, 8, 1);
    elem("0LA", "MODE", 5, 1, 1);
    elem("0LA", "OPTION", 5, 2, 1);
    elem("0LA", "ERRORS", 5, 4, 1);
    file("ABC", "CUSTOMER", FM_ORG_KEYED);
    file("ABC", "LOG", FM_ORG_PLAIN);
    file("ABC", "PARAMS", FM_ORG_SINGLE);
    token("ABC", "COLOR", 1, "RED");
    token("ABC", "COLOR", 2, "GREEN");
    token("ABC", "COLOR", 17, "BLUE");
    token("ABC", "COLOR", 12345, "WIDE");
    token("ABC", "COLOR", -4, "MINUS");
    proc("ABC", 6, "CALC TAX");
    proc("ABC", 1, "MAIN MENU");
    flush();
  }

  DElem& elem(const char* app, const char* name, int type, int len, int occurs) {
    DElem& e = *static_cast<DElem*>(MM_ALLOC(pool, sizeof(DElem)));
    std::memset(static_cast<void*>(&e), ' ', sizeof e);
    e.name.set(name);
    e.type = uint8_t(type);
    e.length = uint16_t(len);
    e.occurs = uint16_t(occurs);
    e.kind = 1;
    e.key_kind = 255;
    e.token_mark = 0;
    e.digits = 9;
    e.decimals = 0;
    e.sign = '1';
    e.b591 = 0;
    e.low_given = e.high_given = 255;
    e.rng_code1 = e.rng_code2 = 255;
    rec::view<rec::U32>(e.ident_stamp.data()) = ++serial_;   // unique: a key of ELEMENT
    e.number = serial_;
    pending_.push_back({0, app, &e, sizeof e});
    return e;
  }
  void file(const char* app, const char* name, int org) {
    auto& f = *static_cast<DFile*>(MM_ALLOC(pool, sizeof(DFile)));
    std::memset(static_cast<void*>(&f), ' ', sizeof f);
    f.name.set(name);
    f.org = uint8_t(org);
    f.area = ++serial_;   // unique: keys of FILE
    f.area2 = ++serial_;
    pending_.push_back({1, app, &f, sizeof f});
  }
  void token(const char* app, const char* group, int number, const char* text) {
    auto& t = *static_cast<CvTokenRec*>(MM_ALLOC(pool, sizeof(CvTokenRec)));
    std::memset(static_cast<void*>(&t), ' ', sizeof t);
    t.cls = 0;
    t.group.set(group);
    t.number = number;
    t.text.set(text);
    pending_.push_back({2, app, &t, sizeof t});
  }
  void proc(const char* app, int type, const char* name) {
    auto& p = *static_cast<DProc*>(MM_ALLOC(pool, sizeof(DProc)));
    std::memset(static_cast<void*>(&p), ' ', sizeof p);
    p.proc_type = uint8_t(type);
    p.proc_name.set(name);
    pending_.push_back({3, app, &p, sizeof p});
  }
  // Writes the records into memory-resident files of the current scope.
  void flush() {
    for (const Pending& r : pending_) {
      FmArb* a = handle(r.which, r.app);
      a->rec.set(static_cast<uint8_t*>(r.rec));
      a->rec_len = 0;
      EXPECT_EQ(fm_write(a), 1) << a->status;
    }
    pending_.clear();   // the files stay open: memory files live with their scope
  }

 private:
  struct Pending {
    int which;
    const char* app;
    void* rec;
    size_t len;
  };
  struct Handle {
    int which;
    std::string app;
    FmArb* a;
  };
  FmArb* handle(int which, const char* app) {
    for (auto& h : handles_)
      if (h.which == which && h.app == app) return h.a;
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
    FmFdb fdb;
    const char* ver = app[0] == '0' ? "00" : "01";
    if (which == 0) INIT_DELEM_FDB(&fdb, kdb, sdb, app, ver);
    else if (which == 1) INIT_DFI_FDB(&fdb, kdb, sdb, app, ver);
    else if (which == 2) INIT_DTOKEN_FDB(&fdb, kdb, sdb, app, ver);
    else INIT_DPROC_FDB(&fdb, kdb, sdb, app, ver);
    fdb.fclass = FM_CLASS_MEMORY;
    EXPECT_EQ(FM_CREATE(&fdb, com.depth, 0, FM_OPT_NO_SYSDIR, 3, 15), 1) << fdb.status;
    handles_.push_back({which, app, fdb.handle.get()});
    return fdb.handle.get();
  }
  uint32_t serial_ = 0;
  std::vector<Pending> pending_;
  std::vector<Handle> handles_;
};

}  // namespace setest
