// Test helpers of the dictionary compiler: design records of a test
// application written into a temporary data directory, the run's message
// files, and read-backs of what the compiler wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dictionary/dd1.h"
#include "dictionary/dict_support.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/ut.h"

namespace ddt {

inline MmPool pool() {
  static MmPool p = 0;
  if (!p) p = mm_create_pool(" DDT_POOL  ", 0, 0);
  return p;
}

// Opens (creating when missing) a dictionary file of app "TST" version "00".
inline FmArb* open(const char* builder, const char* app = "TST") {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb fdb;
  fm_cat_fill(fm_cat_find(builder), &fdb, kdb, sdb, app, "00");
  int ok = FM_CREATE(&fdb, com.depth, 0, FM_OPT_CREATE | FM_OPT_NO_SYSDIR, 0, 15);
  mm_free(kdb);
  mm_free(sdb);
  EXPECT_TRUE(ok) << builder << " status " << fdb.status.get();
  return ok ? fdb.handle.get() : nullptr;
}

// Writes a record, replacing the one with the same key 0.
template <class T>
void put(const char* builder, const T& r, const char* app = "TST") {
  FmArb* a = open(builder, app);
  if (!a) return;
  auto* b = static_cast<uint8_t*>(MM_ALLOC(pool(), sizeof(T)));
  std::memcpy(b, &r, sizeof(T));
  PROTO_FULL(a, 0, b);
  a->op = FM_OP_EQUAL | FM_OP_HOLD;
  if (fm_read(a)) fm_del(a);
  std::memcpy(b, &r, sizeof(T));
  PROTO_FULL(a, 0, b);
  EXPECT_TRUE(fm_write(a)) << builder << " status " << a->status.get();
  FM_CLOSE(a, 0);
  mm_free(b);
}

// Every record of a file in key order (key k).
template <class T>
std::vector<T> all(const char* builder, int key = 0, const char* app = "TST") {
  std::vector<T> out;
  FmArb* a = open(builder, app);
  if (!a) return out;
  auto* b = static_cast<uint8_t*>(MM_ALLOC(pool(), sizeof(T)));
  PROTO_FULL(a, key, b);
  a->op = FM_OP_FIRST;
  fm_start(a);
  for (;;) {
    a->op = 0;
    a->rec_len = sizeof(T);
    std::memset(b, 0, sizeof(T));
    if (!fm_rdnxt(a)) break;
    out.push_back(rec::view<T>(b));
  }
  FM_CLOSE(a, 0);
  mm_free(b);
  return out;
}
inline std::vector<uint8_t> bytes_of(const char* builder, const char* app = "TST") {
  std::vector<uint8_t> out;
  FmArb* a = open(builder, app);
  auto* b = static_cast<uint8_t*>(MM_ALLOC(pool(), 2200));
  PROTO_FULL(a, 0, b);
  a->op = FM_OP_FIRST;
  fm_start(a);
  for (;;) {
    a->op = 0;
    a->rec_len = 2200;
    if (!fm_rdnxt(a)) break;
    out.insert(out.end(), b, b + a->len_read.get());
  }
  FM_CLOSE(a, 0);
  mm_free(b);
  return out;
}

inline void set_unset(rec::Bytes<8>& s) { std::memset(s.data(), 0xFF, 8); }

// A domain: kind 1 numeric, 2 date, 3 logic, 4 alpha; storage code; mask.
inline DDomain domain(const std::string& name, int kind, int storage, const std::string& mask = "") {
  DDomain d;
  std::memset(&d, ' ', sizeof d);
  d.cls = 0;
  d.name.set(name);
  set_unset(d.stamp);
  d.dflt_len = 0;
  d.decl_kind = uint8_t(kind);
  d.kind = 0;
  d.token = 0;
  d.storage = uint8_t(storage);
  d.mask.set(mask);
  d.rng_code1 = 255;
  d.rng_code2 = 255;
  d.case_code = 0;
  d.alpha_kind = 0;
  d.justify = 1;
  return d;
}

// A field of a file (entry kind 1 data; 2 group header, 3 group end, 4
// substring, 5 synonym: domain names the base or last field).
inline DField field(const std::string& file, const std::string& name, uint32_t number, const std::string& domain,
                    int kind = 1) {
  DField f;
  std::memset(&f, ' ', sizeof f);
  f.area = 0;
  f.work.set("0");
  f.name.set(name);
  f.kind = uint8_t(kind);
  f.domain.set(domain);
  f.offset = 0;
  f.length = 0;
  f.occurs = 1;
  f.file.set(file);
  f.number = number;
  // the identity stamp is unique in the application (ELEMENT key 4)
  static uint32_t ident = 0;
  std::memset(f.ident_stamp.data(), 0, 8);
  rec::view<rec::U32>(f.ident_stamp.data() + 4).set(++ident);
  std::memset(f.stamp2.data(), 0, 8);
  std::memset(f.cmpl_stamp.data(), 0, 8);
  f.b93 = 0;
  f.b94 = 0;
  f.b185 = 0;
  f.share_a = 0;
  f.share_b = 0;
  f.usage = 1;
  f.key_kind = 255;
  f.key_no = 255;
  f.low_given = 255;
  f.high_given = 255;
  f.b525 = 0;
  f.b529 = 0;
  f.dom_class = 0;
  return f;
}

// A file definition (organisation 3 keyed, 2 plain).
inline DRecord record(const std::string& name, int org = 3) {
  DRecord r;
  std::memset(&r, ' ', sizeof r);
  r.name.set(name);
  r.ftype = 1;
  r.org = uint8_t(org);
  r.b14.set("0");
  r.var.set("0");
  r.b95 = 0;
  r.share[0] = 0;
  r.share[1] = 0;
  r.rec_len = 0;
  r.area = 0;
  r.area2 = 0;
  std::memset(r.stamp.data(), 0, 8);
  set_unset(r.cmpl_stamp);
  std::memset(r.struct_stamp.data(), 0xFF, 8);
  for (auto& u : r.usage) u = 0;
  r.key_count = 0;
  for (auto& s : r.seg_count) s = 0;
  for (auto& k : r.key_len) k = 0;
  return r;
}

// One message of a run.
struct Msg {
  uint32_t number;
  int kind;
  std::string object;
  uint32_t seq;
  int type;
};

// The message files and a compile of the test application.
struct Compiler {
  FmArb* m1 = nullptr;
  FmArb* m2 = nullptr;
  Compiler() {
    EXPECT_TRUE(dd_msg_create(1, com.depth, &m1));
    EXPECT_TRUE(dd_msg_create(2, com.depth, &m2));
  }
  ~Compiler() {
    if (m1) FM_CLOSE(m1, FM_CL_SCRATCH);
    if (m2) FM_CLOSE(m2, FM_CL_SCRATCH);
  }
  static std::string target(const std::string& name, const char* app = "TST") {
    std::string t = std::string(app) + "00" + name;
    t.resize(13, ' ');
    return t;
  }
  // The run inside a scope of its own: its completion code (1 normal, 3
  // after a system error).
  int run(const std::string& name, int flag = 1, const char* app = "TST") {
    std::string t = target(name, app);
    return ::mark(0, [&] { dd_cmpl(flag, t.c_str(), m1, m2); });
  }
  DMsg1 head(const std::string& name, const char* app = "TST") {
    DMsg1 h;
    std::memset(&h, 0, sizeof h);
    auto* b = static_cast<DMsg1*>(MM_ALLOC(pool(), sizeof(DMsg1)));
    std::memcpy(b, target(name, app).data(), 13);
    PROTO_FULL(m1, 0, reinterpret_cast<uint8_t*>(b));
    m1->op = FM_OP_EQUAL;
    if (fm_read(m1)) h = *b;
    mm_free(b);
    return h;
  }
  // The messages of the last run of name, in sequence order.
  std::vector<Msg> msgs(const std::string& name, const char* app = "TST") {
    std::vector<Msg> out;
    auto* b = static_cast<DMsg2*>(MM_ALLOC(pool(), sizeof(DMsg2)));
    std::memset(b, ' ', sizeof *b);
    std::memcpy(b, target(name, app).data(), 13);
    PROTO_FULL(m2, 0, reinterpret_cast<uint8_t*>(b));
    m2->key.set(reinterpret_cast<uint8_t*>(b));
    m2->key_len = 13;
    m2->op = FM_OP_AT | FM_OP_KEY;
    fm_start(m2);
    for (;;) {
      m2->op = 0;
      if (!fm_rdnxt(m2)) break;
      if (std::memcmp(b, target(name, app).data(), 13)) break;
      std::string obj(b->object.view());
      obj.erase(obj.find_last_not_of(' ') + 1);
      out.push_back({b->number, b->kind, obj, b->seq, b->type});
    }
    mm_free(b);
    return out;
  }
  // Message numbers of the run, in order.
  std::vector<uint32_t> numbers(const std::string& name) {
    std::vector<uint32_t> n;
    for (const Msg& m : msgs(name)) n.push_back(m.number);
    return n;
  }
  void clear() {
    for (FmArb* a : {m1, m2}) fm_del_all(a);
  }
};

// The compiled elements of a file (key 2 order) and its FILE record.
inline std::vector<DElem> elems(const std::string& file) {
  std::vector<DElem> out;
  for (const DElem& e : all<DElem>("INIT_DELEM_FDB", 2))
    if (std::string(e.file.view()).rfind(file, 0) == 0 && e.file.view().substr(0, file.size()) == file &&
        (file.size() == 8 || e.file.data()[file.size()] == ' '))
      out.push_back(e);
  return out;
}
inline const DElem* elem(const std::vector<DElem>& v, const std::string& name) {
  for (const DElem& e : v) {
    std::string n(e.name.view());
    n.erase(n.find_last_not_of(' ') + 1);
    if (n == name) return &e;
  }
  return nullptr;
}
inline bool file_rec(const std::string& name, DFile* out) {
  for (const DFile& f : all<DFile>("INIT_DFI_FDB")) {
    std::string n(f.name.view());
    n.erase(n.find_last_not_of(' ') + 1);
    if (n == name) {
      *out = f;
      return true;
    }
  }
  return false;
}
// The INITIAL (1) or NULL (2) image of a file.
inline std::vector<uint8_t> image(const std::string& file, int kind) {
  std::vector<uint8_t> out;
  std::string f8 = file;
  f8.resize(8, ' ');
  for (uint32_t seq = 1;; ++seq) {
    bool found = false;
    FmArb* a = open("INIT_DINIT_FDB");
    auto* b = static_cast<DInit*>(MM_ALLOC(pool(), sizeof(DInit)));
    std::memcpy(b->file.data(), f8.data(), 8);
    b->kind = uint8_t(kind);
    b->seq = seq;
    PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(b));
    a->op = FM_OP_EQUAL;
    a->rec_len = sizeof(DInit);
    if (fm_read(a)) {
      found = true;
      out.insert(out.end(), b->data.data(), b->data.data() + a->len_read.get() - DINIT_HEAD);
    }
    FM_CLOSE(a, 0);
    mm_free(b);
    if (!found) break;
  }
  return out;
}

}  // namespace ddt
