// The dictionary compiler's run: messages, one file's compile, structure
// comparison and the results (see dd1.h).
#include "dictionary/dd1.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "dictionary/dd2.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "language/ii.h"

namespace {

const char kMod[] = "DD1";

template <class T>
T* buf(DdRun* r, int fill = ' ') {
  auto* p = static_cast<T*>(MM_ALLOC(r->pool, sizeof(T)));
  std::memset(p, fill, sizeof(T));
  return p;
}
struct Free {
  void* p;
  ~Free() { mm_free(p); }
};

uint8_t g_last_stamp[8];
bool g_fixed_stamps = false;  // stamps count on from a given start, not the clock
uint8_t g_next_stamp[8];

}  // namespace

void dd_fail(uint32_t status, const char* text, const char* module, int line) {
  checkstat(status, text, module, line);
  ut_unwind(3);
}

void dd_sys_err(const char* module, int line, const char* text) {
  os_sys_err_text(module, line, text);
  ut_unwind(3);
}

void dd_stamp_from(const uint8_t start[8]) {
  g_fixed_stamps = start != nullptr;
  if (start) std::memcpy(g_next_stamp, start, 8);
}

void dd_stamp(uint8_t out[8]) {
  if (g_fixed_stamps) {
    std::memcpy(out, g_next_stamp, 8);
    HostTime& next = rec::view<HostTime>(g_next_stamp);
    if (next.hundredths.get() + 1 >= 8640000) {
      next.day = next.day.get() + 1;
      next.hundredths = 0;
    } else {
      next.hundredths = next.hundredths.get() + 1;
    }
    // the clock's stamps, taken again later, still come after this one
    HostTime& last = rec::view<HostTime>(g_last_stamp);
    const HostTime& given = rec::view<HostTime>(out);
    if (given.day.get() > last.day.get() ||
        (given.day.get() == last.day.get() && given.hundredths.get() > last.hundredths.get()))
      std::memcpy(g_last_stamp, out, 8);
    return;
  }
  HostTime t;
  os_quvo_time(&t);
  uint64_t now = (uint64_t(t.day.get()) << 32) | t.hundredths.get();
  HostTime& last = rec::view<HostTime>(g_last_stamp);
  uint64_t prev = (uint64_t(last.day.get()) << 32) | last.hundredths.get();
  if (now <= prev) {
    uint32_t day = uint32_t(prev >> 32), h = uint32_t(prev) + 1;
    if (h >= 8640000) {
      ++day;
      h = 0;
    }
    now = (uint64_t(day) << 32) | h;
  }
  last.day = uint32_t(now >> 32);
  last.hundredths = uint32_t(now);
  std::memcpy(out, g_last_stamp, 8);
}

bool dd_stamp_unset(const uint8_t s[8]) {
  for (int i = 0; i < 8; ++i)
    if (s[i] != 0xFF) return false;
  return true;
}

bool dd_blank(const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (s[i] != ' ') return false;
  return true;
}

size_t dd_trim_len(const char* s, size_t n) {
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\0')) --n;
  return n;
}

// ------------------------------------------------------------ messages --

int dd_msg_create(int which, int scope, FmArb** out) {
  MmPool pool = mm_create_pool(" DD_MSG    ", 0, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb)));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * 5));
  FmSdb* s = sdb;
  init_sdb_func(s++, 1, 0, 3, FM_SEG_ALPHA, '+');
  init_sdb_func(s++, 2, 3, 2, FM_SEG_ALPHA, '+');
  init_sdb_func(s++, 3, 5, 8, FM_SEG_ALPHA, '+');
  if (which == 2) {
    init_sdb_func(s++, 4, 13, 3, FM_SEG_ALPHA, '+');
    init_sdb_func(s++, 5, 16, 4, FM_SEG_BINARY, '+');
  }
  INIT_KDB(kdb, 0, '+', 8, sdb, int(s - sdb));
  FmFdb fdb;
  INIT_FDB(&fdb, FM_CLASS_MEMORY, which == 1 ? sizeof(DMsg1) : sizeof(DMsg2), 0, kdb, 1);
  INIT_DB_PATH(&fdb, " MS", " DD", "00", which == 1 ? "MESSAGE1" : "MESSAGE2", FM_PT_DATA);
  fdb.fclass = FM_CLASS_MEMORY;
  int ok = FM_CREATE(&fdb, scope, 100, FM_OPT_BASE, 15, 15);
  mm_free(kdb);
  mm_free(sdb);
  *out = ok ? fdb.handle.get() : nullptr;
  return ok;
}

void dd_err(DdRun* r, uint32_t number, int kind, const char* name, size_t name_len) {
  auto* m1 = buf<DMsg1>(r);
  Free f1{m1};
  std::memcpy(m1->app.data(), r->app, 3);
  std::memcpy(m1->ver.data(), r->ver, 2);
  std::memcpy(m1->name.data(), r->name, 8);
  PROTO_FULL(r->msg1, 0, reinterpret_cast<uint8_t*>(m1));
  r->msg1->op = FM_OP_EQUAL | FM_OP_HOLD;
  if (!fm_read(r->msg1)) dd_fail(r->msg1->status, "Bad first level message read ", kMod, __LINE__);
  m1->count = m1->count + 1;
  auto* m2 = buf<DMsg2>(r);
  Free f2{m2};
  std::memcpy(m2->app.data(), r->app, 3);
  std::memcpy(m2->ver.data(), r->ver, 2);
  std::memcpy(m2->name.data(), r->name, 8);
  m2->seq = m1->count;
  m2->kind = uint8_t(kind);
  if (kind == 2 || kind == 3) {
    std::memcpy(m2->object.data(), name, std::min<size_t>(name_len, 22));
  } else {
    m2->kind = 1;
    if (name) std::memcpy(m2->object.data(), name, std::min<size_t>(name_len, 8));
  }
  m2->number = number;
  LaText t{500, m2->text.data()};
  int severity = 0;
  int n = la_xlate(number, &t, &severity);
  m2->type = uint16_t(severity);
  m2->len = uint16_t(n);
  if (uint32_t(severity) > m1->highest) m1->highest = uint32_t(severity);
  if (!fm_rewrite(r->msg1)) dd_fail(r->msg1->status, "Bad db_msg1 write ", kMod, __LINE__);
  PROTO_FULL(r->msg2, 0, reinterpret_cast<uint8_t*>(m2));
  if (!fm_write(r->msg2)) dd_fail(r->msg2->status, "bad db_msg2 file write", kMod, __LINE__);
}

// --------------------------------------------------------- design files --

FmArb* open_dsgn_fi(DdRun* r, const char* builder, const char* app, const char* ver, uint32_t* status) {
  const FmCatEntry* ce = fm_cat_find(builder);
  if (!ce) dd_sys_err(kMod, __LINE__, "open_dsgn_fi() - unknown file");
  for (const DdOpen& o : r->open)
    if (!std::memcmp(o.app.data(), app, 3) && !std::memcmp(o.ver.data(), ver, 2) &&
        !std::memcmp(o.name.data(), ce->file, 8))
      return r->handles[o.handle];
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(r->pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(r->pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  Free fk{kdb}, fs{sdb};
  char a[4] = {}, v[3] = {};
  std::memcpy(a, app, 3);
  std::memcpy(v, ver, 2);
  FmFdb fdb;
  fm_cat_fill(ce, &fdb, kdb, sdb, a, v);
  if (!FM_OPEN(&fdb, com.depth, 0, 0, 15)) {
    if (fdb.status == FM_ST_NO_SYSDIR) {
      fm_cat_fill(ce, &fdb, kdb, sdb, a, v);
      if (FM_OPEN(&fdb, com.depth, FM_OPT_NO_SYSDIR, 0, 15)) goto opened;
    }
    *status = fdb.status;
    return nullptr;
  }
opened:
  DdOpen o;
  std::memset(&o, ' ', sizeof o);
  std::memcpy(o.app.data(), app, 3);
  std::memcpy(o.ver.data(), ver, 2);
  std::memcpy(o.name.data(), ce->file, 8);
  o.handle = uint32_t(r->handles.size());
  r->handles.push_back(fdb.handle.get());
  r->open.push_back(o);
  return fdb.handle.get();
}

namespace {

// Creates a design file that does not exist yet.
bool create_dsgn_fi(DdRun* r, const char* builder) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(r->pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(r->pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  Free fk{kdb}, fs{sdb};
  FmFdb fdb;
  fm_cat_fill(fm_cat_find(builder), &fdb, kdb, sdb, r->app, r->ver);
  if (!FM_CREATE(&fdb, com.depth, 0, FM_OPT_NO_SYSDIR, 0, 15)) return false;
  FM_CLOSE(fdb.handle.get(), 0);
  return true;
}

struct DesignFile {
  const char* builder;
  FmArb* DdRun::*slot;
  bool create;
  uint32_t msg;
  const char* open_text;
  const char* create_text;
};
const DesignFile kDesign[] = {
    {"INIT_DELEM_FDB", &DdRun::elem, true, 100110, "Cannot open ELEMENT file ", "element file create"},
    {"INIT_DDOM_FDB", &DdRun::dom, false, 100090, "Cannot open DOMAIN file", nullptr},
    {"INIT_DFLD_FDB", &DdRun::fld, false, 100140, "Cannot open FIELD file ", nullptr},
    {"INIT_DFI_FDB", &DdRun::file, true, 100130, "Cannot open FILE file ", "FILE file create"},
    {"INIT_DREC_FDB", &DdRun::rec, false, 100160, "Cannot open RECORD file ", nullptr},
    {"INIT_DBITMAP_FDB", &DdRun::bitmap, true, 100220, nullptr, "Cannot create BITMAP file "},
    {"INIT_DTOKEN_FDB", &DdRun::token, false, 0, nullptr, nullptr},
};

void run_body(DdRun* r) {
  // MESSAGE1 of the target: a run again into the same file starts it over.
  auto* m1 = buf<DMsg1>(r);
  Free f1{m1};
  std::memcpy(m1->app.data(), r->app, 3);
  std::memcpy(m1->ver.data(), r->ver, 2);
  std::memcpy(m1->name.data(), r->name, 8);
  PROTO_FULL(r->msg1, 0, reinterpret_cast<uint8_t*>(m1));
  r->msg1->op = FM_OP_EQUAL | FM_OP_HOLD;
  if (fm_read(r->msg1)) {
    m1->count = 0;
    m1->highest = 0;
    if (!fm_rewrite(r->msg1)) dd_fail(r->msg1->status, "Bad MSG1 read ", kMod, __LINE__);
    // and the messages of the earlier run of the target go with its count
    auto* m2 = buf<DMsg2>(r);
    Free f2{m2};
    for (;;) {
      std::memcpy(m2, m1, 13);
      PROTO_FULL(r->msg2, 0, reinterpret_cast<uint8_t*>(m2));
      r->msg2->key.set(reinterpret_cast<uint8_t*>(m2));
      r->msg2->key_len = 13;
      r->msg2->op = FM_OP_KEY | FM_OP_GE | FM_OP_HOLD;
      if (!fm_read(r->msg2) || std::memcmp(m2, m1, 13) != 0) {
        fm_release(r->msg2);
        break;
      }
      if (!fm_del(r->msg2)) dd_fail(r->msg2->status, "Bad MSG1 read ", kMod, __LINE__);
    }
  } else {
    m1->count = 0;
    m1->highest = 0;
    PROTO_FULL(r->msg1, 0, reinterpret_cast<uint8_t*>(m1));
    if (!fm_write(r->msg1)) dd_fail(r->msg1->status, "Bad MSG1 read ", kMod, __LINE__);
  }
  for (const DesignFile& d : kDesign) {
    uint32_t st = 0;
    FmArb* h = open_dsgn_fi(r, d.builder, r->app, r->ver, &st);
    if (!h && st == FM_ST_NOT_FOUND && d.create) {
      if (!create_dsgn_fi(r, d.builder)) {
        dd_err(r, d.msg, 1, nullptr, 0);
        r->failed = true;
        continue;
      }
      h = open_dsgn_fi(r, d.builder, r->app, r->ver, &st);
    }
    if (!h && d.msg) {
      dd_err(r, d.msg, 1, nullptr, 0);
      r->failed = true;
    }
    r->*d.slot = h;
  }
  if (r->failed) return;
  if (!std::memcmp(r->name, "*       ", 8)) vfy_wrk_fld(r);
  else if (!std::memcmp(r->name, "        ", 8)) vfy_dom(r);
  else vfy_fi(r);
}

}  // namespace

int dd_cmpl(int flag, const char* target, FmArb* msg1, FmArb* msg2) {
  return dd_cmpl(flag, target, msg1, msg2, nullptr);
}

int dd_cmpl(int flag, const char* target, FmArb* msg1, FmArb* msg2, const DdFiles* files) {
  DdRun run;
  DdRun* r = &run;
  std::memcpy(r->app, target, 3);
  std::memcpy(r->ver, target + 3, 2);
  std::memcpy(r->name, target + 5, 8);
  r->standalone = flag == 0;
  r->msg1 = msg1;
  r->msg2 = msg2;
  r->pool = mm_create_pool(" DD_POOL   ", com.depth, 0);
  if (files) {
    const std::pair<const char*, FmArb*> given[] = {
        {"INIT_DELEM_FDB", files->elem}, {"INIT_DDOM_FDB", files->dom},    {"INIT_DFLD_FDB", files->fld},
        {"INIT_DFI_FDB", files->file},   {"INIT_DREC_FDB", files->rec},    {"INIT_DBITMAP_FDB", files->bitmap},
        {"INIT_DTOKEN_FDB", files->token}, {"INIT_DINIT_FDB", files->init}};
    for (const auto& [builder, h] : given) {
      if (!h) continue;
      DdOpen o;
      std::memset(&o, ' ', sizeof o);
      std::memcpy(o.app.data(), r->app, 3);
      std::memcpy(o.ver.data(), r->ver, 2);
      std::memcpy(o.name.data(), fm_cat_find(builder)->file, 8);
      o.handle = uint32_t(r->handles.size());
      r->handles.push_back(h);
      r->open.push_back(o);
    }
  }
  r->own_from = r->handles.size();
  struct End {
    DdRun* r;
    ~End() {
      for (size_t i = r->own_from; i < r->handles.size(); ++i) FM_CLOSE(r->handles[i], 0);
      mm_destroy_pool(r->pool);
    }
  } end{r};
  run_body(r);
  return 1;
}

// --------------------------------------------------------- from 4GL --

namespace {

// A message file of the caller: a live handle on a file of that record
// length (the run writes whole records of it).
FmArb* msg_file(uint32_t word, size_t rec_len) {
  auto* h = static_cast<FmArb*>(arena::at(word));
  if (!h || !fm_is_handle(h) || !h->file || h->file->fdb.rec_len != rec_len) return nullptr;
  return h;
}

// The request fields of a caller's handle: the run points them at its own
// buffers (freed with its pool), so they go back as they were.
struct Request {
  FmArb* h;
  uint16_t op, rec_len, key_len;
  uint8_t key_no;
  int32_t lock_wait;
  uint8_t* rec;
  uint8_t* key;
  explicit Request(FmArb* a)
      : h(a), op(a->op), rec_len(a->rec_len), key_len(a->key_len), key_no(a->key_no), lock_wait(a->lock_wait),
        rec(a->rec.get()), key(a->key.get()) {}
  ~Request() {
    h->op = op;
    h->rec_len = rec_len;
    h->key_len = key_len;
    h->key_no = key_no;
    h->lock_wait = lock_wait;
    h->rec.set(rec);
    h->key.set(key);
  }
};

}  // namespace

int32_t DD_CMPL(const uint32_t* args) {
  if (!args || (args[0] != 3 && args[0] != 4)) return 0;
  const uint32_t* a = args + 1 + (args[0] == 4 ? 1 : 0);
  const auto* text = static_cast<const char*>(arena::at(a[0]));
  FmArb* m1 = msg_file(a[1], sizeof(DMsg1));
  FmArb* m2 = msg_file(a[2], sizeof(DMsg2));
  if (!text || !m1 || !m2 || m1 == m2) return 0;
  // A target passed by value is a copy that ends at its length: a shorter
  // one is padded, never read past.
  char target[13];
  std::memset(target, ' ', sizeof target);
  std::memcpy(target, text, strnlen(text, sizeof target));
  Request keep1(m1), keep2(m2);
  return dd_cmpl(1, target, m1, m2);
}

void dd_register() {
  static bool registered = false;
  if (!registered) ii_register_ifn("DD_CMPL", DD_CMPL);
  registered = true;
}

// ------------------------------------------------------------- one file --

void vfy_fi(DdRun* r) {
  auto* rc = buf<DRecord>(r);
  Free frc{rc};
  std::memcpy(rc->name.data(), r->name, 8);
  PROTO_FULL(r->rec, 0, reinterpret_cast<uint8_t*>(rc));
  r->rec->op = FM_OP_EQUAL;
  if (!fm_read(r->rec)) {
    if (r->rec->status != FM_ST_NO_RECORD) dd_fail(r->rec->status, "Bad record read ", kMod, __LINE__);
    dd_err(r, 100250, 1, r->name, 8);
    return;
  }
  // A new file's FILE bytes beyond the design part are zero.
  auto* fi = buf<DFile>(r, 0);
  Free ffi{fi};
  std::memcpy(fi->name.data(), r->name, 8);
  PROTO_FULL(r->file, 0, reinterpret_cast<uint8_t*>(fi));
  r->file->op = FM_OP_EQUAL;
  bool had = fm_read(r->file) != 0;
  if (!had) {
    if (r->file->status != FM_ST_NO_RECORD) dd_fail(r->file->status, "Cannot read FILE", kMod, __LINE__);
    std::memset(fi, 0, sizeof *fi);
  }
  if (had && !dd_stamp_unset(fi->cmpl_stamp.data()) && !std::getenv("DD_SUMMARY_FILE")) {
    auto* e = buf<DElem>(r);
    Free fe{e};
    std::memcpy(e->file.data(), r->name, 8);
    PROTO_FULL(r->elem, 2, reinterpret_cast<uint8_t*>(e));
    r->elem->key.set(reinterpret_cast<uint8_t*>(e->file.data()));
    r->elem->key_len = 8;
    r->elem->op = FM_OP_KEY | FM_OP_GE;
    if (fm_read(r->elem) && !std::memcmp(e->file.data(), r->name, 8) &&
        !std::memcmp(e->cmpl_stamp.data(), fi->cmpl_stamp.data(), 8))
      return;
  }
  uint8_t old_struct[8];
  std::memcpy(old_struct, fi->struct_stamp.data(), 8);
  std::memcpy(fi, rc, sizeof(DRecord));
  r->fi = fi;
  if (r->standalone) std::printf("%.*s (file)\n", int(dd_trim_len(r->name, 8)), r->name);
  bool ok = cmpl_fi(r);
  if (ok) {
    static const char* const kFixed[3][13] = {
        {"BITMAP  ", "INITIAL "},
        {"CHILD   ", "CHR     ", "ELEMENT ", "FILE    ", "FRAME   ", "ITEM    ", "PARAM   ", "PROCESS ",
         "RECORD  ", "ROW     ", "STMT    ", "DICTNARY", "XLAT    "},
        {"DOCUMENT", "DOMAIN  ", "FIELD   ", "IMAGE   ", "SELECT  ", "SORT    ", "TOKEN   ", "EXCEPT  "}};
    if (!std::memcmp(r->app, "0AD", 3) && fi->ftype == 1) {
      std::memcpy(fi->struct_stamp.data(), old_struct, 8);
      for (uint32_t n = 1; n <= 3; ++n)
        for (const char* name : kFixed[n - 1])
          if (name && !std::memcmp(name, r->name, 8)) {
            rec::view<rec::U32>(fi->struct_stamp.data()).set(0);
            rec::view<rec::U32>(fi->struct_stamp.data() + 4).set(n);
          }
    } else {
      bool first_zero = rec::view<rec::U32>(old_struct).get() == 0;
      if (!comp_struct(r) || dd_stamp_unset(old_struct) || first_zero) dd_stamp(fi->struct_stamp.data());
      else std::memcpy(fi->struct_stamp.data(), old_struct, 8);
    }
    upd_src_fi(r);
  }
  r->group.clear();
  r->melem.clear();
  r->fi = nullptr;
}

bool cmpl_fi(DdRun* r) {
  DFile* fi = r->fi;
  dd_stamp(fi->cmpl_stamp.data());
  fi->flag300.set("1");
  r->group_lvl = 0;
  r->group.clear();
  r->melem.clear();
  for (auto& u : fi->usage) u = 0;
  for (int k = 0; k < 17; ++k) {
    fi->seg_count[k] = 0;
    fi->key_len[k] = 0;
    fi->key_elem[k] = 0;
    r->key_tbl[k] = 0;
  }
  fi->key_count = fi->org == 3 ? 1 : 0;
  bool ok = true;
  int length = 0, field_no = 1;
  auto* f = buf<DField>(r);
  Free ff{f};
  // The file's fields in element-number order, through a stream of their own.
  FmArb* s = FM_ATTACH(r->fld, nullptr, com.depth);
  if (!s) dd_fail(r->fld->status, "bad fld constraint", kMod, __LINE__);
  std::memcpy(f->file.data(), r->name, 8);
  PROTO_FULL(s, 3, reinterpret_cast<uint8_t*>(f));
  s->key.set(reinterpret_cast<uint8_t*>(f->file.data()));
  s->key_len = 8;
  s->op = FM_OP_AT | FM_OP_KEY;
  if (!fm_start(s)) dd_fail(s->status, "bad fld constraint", kMod, __LINE__);
  int count = 0;
  for (;;) {
    s->op = FM_OP_HOLD | FM_OP_WAIT;
    if (!fm_rdnxt(s)) {
      if (s->status != FM_ST_EOF) dd_fail(s->status, "Bad Read Next ", kMod, __LINE__);
      break;
    }
    if (std::memcmp(f->file.data(), r->name, 8) != 0) {
      fm_release(s);
      break;
    }
    ++count;
    DdMelem m;
    std::memset(&m, 0, sizeof m);
    bool good;
    switch (f->kind.get()) {
      case 1:
        good = cmpl_dom_fld(r, f, &m, length);
        if (good) {
          m.e.field_no = uint16_t(field_no);
          // Counted wide and held just past the limit: 65535 occurrences of
          // 65535 bytes must fail the file (100690), never wrap round to a
          // small record whose images the fields' values would overrun.
          length = int(std::min<int64_t>(int64_t(length) + int64_t(m.e.length) * m.e.occurs,
                                         int64_t(FM_MAX_REC) + 1));
          field_no += m.segs * m.e.occurs;
        }
        if (r->standalone)
          std::printf("\t\t%.*s (domain field)\n", int(dd_trim_len(f->name.data(), 22)), f->name.data());
        break;
      case 2:
        ++r->group_lvl;
        good = cmpl_group_hdr(r, f, &m);
        if (r->standalone)
          std::printf("\t\t%.*s (group header)\n", int(dd_trim_len(f->name.data(), 22)), f->name.data());
        break;
      case 3: good = cpy_elem(r, f, &m); break;
      case 4: case 5:
        good = cmpl_syn_substr(r, f, &m);
        if (r->standalone)
          std::printf("\t\t%.*s (syn. or substring)\n", int(dd_trim_len(f->name.data(), 22)), f->name.data());
        break;
      default:
        dd_err(r, 102660, 3, f->name.data(), 22);
        good = false;
    }
    if (!good) {
      ok = false;
      fm_release(s);
      continue;
    }
    if (!r->group.empty() && f->kind == 4) {
      dd_err(r, 100570, 3, f->name.data(), 22);
      ok = false;
    }
    if (!r->group.empty() || m.e.kind == 2)
      if (!upd_group(r, &m)) ok = false;
    m.e.area = m.e.kind == 3 ? 0 : fi->area.get();
    m.e.b185 = fi->b95;
    m.e.share_a = fi->share[0];
    m.e.share_b = fi->share[1];
    for (int i = 0; i < 3; ++i) {
      auto* code = i == 0 ? &m.e.code1 : i == 1 ? &m.e.code2 : &m.e.code3;
      if (dd_blank(code->data(), 4)) std::memcpy(code->data(), fi->secr[i].data(), 4);
    }
    if (m.e.key_kind < 255 && !proc_key(r, &m, f->key_no)) ok = false;
    // the group header's element goes in before its members close it
    r->melem.push_back(m);
    if (m.e.kind == 2) {
      // its length and offset come when the group closes (upd_group)
    }
    if (!fm_rewrite(s)) dd_fail(s->status, "bad fld rewrite ", kMod, __LINE__);
  }
  fm_detach(s);
  if (count == 0) {
    dd_err(r, 100260, 1, r->name, 8);
    return false;
  }
  if (!r->group.empty()) {
    dd_err(r, 100630, 3, r->group.back().name.data(), 22);
    ok = false;
  }
  if (length == 0) {
    dd_err(r, 100700, 1, r->name, 8);
    return false;
  }
  if (length > int(FM_MAX_REC)) {
    dd_err(r, 100690, 1, r->name, 8);
    return false;
  }
  fi->rec_len = uint16_t(length);
  if (r->standalone && length % 4) {
    static const uint32_t kAllow[4] = {0, 100060, 100050, 100040}, kRefuse[4] = {0, 100065, 100055, 100045};
    int rem = length % 4;
    dd_err(r, std::getenv("QUVO_ALLOW_MISALIGNS") ? kAllow[rem] : kRefuse[rem], 1, r->name, 8);
  }
  r->init_img.assign(size_t(length), ' ');
  r->null_img.assign(size_t(length), ' ');
  // Key numbers: renumbered when the taken ones do not fit the key count.
  int high = 0;
  for (int k = 1; k <= 16; ++k)
    if (r->key_tbl[k]) high = k;
  bool renumber = high + 1 > fi->key_count;
  if (renumber)
    for (auto& k : r->key_tbl) k = 0;
  bool primary = false;
  // The FIELD records take the key numbers given only when the file
  // compiles: a failed compile leaves its design records as they were.
  std::vector<const DElem*> numbered;
  for (DdMelem& m : r->melem) {
    DElem& e = m.e;
    if (e.key_kind == 255) {
      if (e.kind == 3) continue;
      e.key_no = 255;
    } else if (e.key_kind == 0) {
      e.key_no = 0;
      primary = true;
    } else if (e.key_no == 0 || e.key_no == 255 || renumber) {
      int k = 1;
      while (k <= 16 && r->key_tbl[k]) ++k;
      if (k > 16) {
        // more alternate keys than numbers: proc_key refused the 17th
        continue;
      }
      r->key_tbl[k] = 1;
      e.key_no = uint8_t(k);
    } else {
      continue;
    }
    numbered.push_back(&e);
  }
  for (DdMelem& m : r->melem) {
    DElem& e = m.e;
    if (!(e.kind == 1 || (e.kind >= 6 && e.kind <= 9))) continue;
    if (!null_etoi(r, &m)) ok = false;
    if (!init_etoi(r, &m)) ok = false;
    for (int o = 1; o < e.occurs; ++o) {
      size_t at = e.offset + size_t(o) * e.length;
      std::memcpy(&r->init_img[at], &r->init_img[e.offset], e.length);
      std::memcpy(&r->null_img[at], &r->null_img[e.offset], e.length);
    }
  }
  if (fi->org == 3 && !primary) {
    dd_err(r, 100670, 1, r->name, 8);
    ok = false;
  }
  if (ok) {
    uint32_t area = fi->area;
    if (!proc_ano(r, &area, int8_t(fi->share[1]), int8_t(fi->share[0]), 3, r->name)) return false;
    if (area != fi->area) dd_stamp(fi->cmpl_stamp.data());
    fi->area = area;
    for (DdMelem& m : r->melem)
      if (m.e.kind != 3) m.e.area = area;
    uint32_t area2 = fi->area2 == fi->area ? 0 : fi->area2.get();
    bool ok2 = fi->b14[0] == '1'
                   ? proc_ano(r, &area2, std::min<int>(int8_t(fi->share[1]), 15),
                              std::min<int>(int8_t(fi->share[0]), 16), 2, r->name)
                   : proc_ano(r, &area2, int8_t(fi->share[1]), int8_t(fi->share[0]), 1, r->name);
    if (!ok2) return false;
    if (area2 != fi->area2) dd_stamp(fi->cmpl_stamp.data());
    fi->area2 = area2;
    auto* x = buf<DField>(r);
    Free fx{x};
    for (const DElem* e : numbered) {
      std::memcpy(x->name.data(), e->name.data(), 22);
      PROTO_FULL(r->fld, 0, reinterpret_cast<uint8_t*>(x));
      r->fld->op = FM_OP_EQUAL | FM_OP_HOLD;
      if (!fm_read(r->fld)) dd_fail(r->fld->status, "Bad FIELD read ", kMod, __LINE__);
      if (x->key_no != e->key_no) {
        x->key_no = e->key_no;
        if (!fm_rewrite(r->fld)) dd_fail(r->fld->status, "Bad FIELD write ", kMod, __LINE__);
      } else {
        fm_release(r->fld);
      }
    }
  }
  return ok;
}

bool comp_struct(DdRun* r) {
  DFile* fi = r->fi;
  auto* old = buf<DFile>(r);
  Free fo{old};
  std::memcpy(old->name.data(), r->name, 8);
  PROTO_FULL(r->file, 0, reinterpret_cast<uint8_t*>(old));
  r->file->op = FM_OP_EQUAL;
  if (!fm_read(r->file)) return false;
  if (!(old->org == fi->org || (fi->org == 2 && old->org == 1))) return false;
  if (old->var != fi->var || old->b19 != fi->b19 || old->flag20 != fi->flag20 || old->flag21 != fi->flag21)
    return false;
  if (old->rec_len != fi->rec_len || old->key_count != fi->key_count) return false;
  for (int k = 0; k < old->key_count && k < 17; ++k)
    if (old->seg_count[k] != fi->seg_count[k] || old->key_len[k] != fi->key_len[k]) return false;
  auto* e = buf<DElem>(r);
  Free fe{e};
  std::memcpy(e->file.data(), r->name, 8);
  FmArb* s = r->elem;
  PROTO_FULL(s, 2, reinterpret_cast<uint8_t*>(e));
  s->key.set(reinterpret_cast<uint8_t*>(e->file.data()));
  s->key_len = 8;
  s->op = FM_OP_AT | FM_OP_KEY;
  if (!fm_start(s)) return false;
  for (;;) {
    s->op = 0;
    if (!fm_rdnxt(s)) {
      if (s->status != FM_ST_EOF) return false;
      break;
    }
    if (std::memcmp(e->file.data(), r->name, 8) != 0) break;
    const DElem* n = nullptr;
    for (const DdMelem& m : r->melem)
      if (!std::memcmp(m.e.name.data(), e->name.data(), 22)) n = &m.e;
    if (!n) return false;
    if (e->kind != 1 && n->kind != 1 && n->key_kind == 255 && e->key_kind > 254) continue;
    if (e->offset != n->offset || e->length != n->length) return false;
    if (e->kind != 1 || n->kind != 1) {
      if (e->key_kind == 255 && n->key_kind == 255) continue;
      if (e->key_kind != n->key_kind || e->key_no != n->key_no || e->key_order != n->key_order ||
          e->key_dups != n->key_dups)
        return false;
      continue;
    }
    if (e->occurs != n->occurs || e->key_kind != n->key_kind) return false;
    if (e->key_kind != 255 && (e->key_no != n->key_no || e->key_dups != n->key_dups)) return false;
    if (e->type != n->type) return false;
    if (e->null_value != n->null_value || e->mask != n->mask) return false;
    if (e->type == 1) {
      bool mask = !dd_blank(n->mask.data(), 60);
      if (mask || n->type == 1 ? e->justify != n->justify : (e->justify == 0) != (n->justify == 0)) return false;
      if (e->entry_flag == '1' && n->entry_flag == '0') return false;
      if (mask ? e->fill != n->fill : e->squeeze != n->squeeze) return false;
    }
    if (e->sign != n->sign || e->digits != n->digits || e->decimals != n->decimals) return false;
  }
  // The members of a group key that are no data fields (substrings,
  // synonyms, inner groups) keep their places.
  auto find = [&](const DElem& x) -> const DElem* {
    for (const DdMelem& m : r->melem)
      if (!std::memcmp(m.e.name.data(), x.name.data(), 22)) return &m.e;
    for (const DdMelem& m : r->melem)
      if (!std::memcmp(m.e.ident_stamp.data(), x.ident_stamp.data(), 8)) return &m.e;
    return nullptr;
  };
  for (int k = 0; k < old->key_count && k < 17; ++k) {
    std::memcpy(e->file.data(), r->name, 8);
    e->number = old->key_elem[k];
    PROTO_FULL(s, 2, reinterpret_cast<uint8_t*>(e));
    s->op = FM_OP_EQUAL;
    if (!fm_read(s)) return false;
    if (e->kind != 2) continue;
    char last[22];
    std::memcpy(last, e->domain.data(), 22);
    for (;;) {
      s->op = 0;
      if (!fm_rdnxt(s)) return false;
      if (std::memcmp(e->file.data(), r->name, 8) != 0 || !std::memcmp(e->name.data(), last, 22)) break;
      if (e->kind == 1) continue;
      const DElem* n = find(*e);
      if (!n || n->offset != e->offset || n->length != e->length) return false;
    }
  }
  return true;
}

void upd_src_fi(DdRun* r) {
  DFile* fi = r->fi;
  uint32_t st = 0;
  FmArb* init = open_dsgn_fi(r, "INIT_DINIT_FDB", r->app, r->ver, &st);
  if (!init && st == FM_ST_NOT_FOUND) {
    if (!create_dsgn_fi(r, "INIT_DINIT_FDB")) dd_fail(st, "init file create", "DD2", __LINE__);
    init = open_dsgn_fi(r, "INIT_DINIT_FDB", r->app, r->ver, &st);
  }
  if (!init) {
    dd_err(r, 100150, 1, r->name, 8);
    return;
  }
  r->init = init;
  // The file's old elements go; the new ones come in with its area and stamp.
  auto* e = buf<DElem>(r);
  Free fe{e};
  for (;;) {
    std::memcpy(e->file.data(), r->name, 8);
    PROTO_FULL(r->elem, 2, reinterpret_cast<uint8_t*>(e));
    r->elem->key.set(reinterpret_cast<uint8_t*>(e->file.data()));
    r->elem->key_len = 8;
    r->elem->op = FM_OP_KEY | FM_OP_GE | FM_OP_HOLD;
    if (!fm_read(r->elem)) {
      if (r->elem->status != FM_ST_NO_RECORD && r->elem->status != FM_ST_EOF)
        dd_fail(r->elem->status, "bad del_all", "DD2", __LINE__);
      break;
    }
    if (std::memcmp(e->file.data(), r->name, 8) != 0) {
      fm_release(r->elem);
      break;
    }
    if (!fm_del(r->elem)) dd_fail(r->elem->status, "bad del_all", "DD2", __LINE__);
  }
  for (DdMelem& m : r->melem) {
    std::memcpy(e, &m.e, sizeof(DElem));
    e->area = m.e.kind == 3 ? 0 : fi->area.get();
    std::memcpy(e->cmpl_stamp.data(), fi->cmpl_stamp.data(), 8);
    PROTO_FULL(r->elem, 0, reinterpret_cast<uint8_t*>(e));
    if (!fm_write(r->elem)) dd_fail(r->elem->status, "bad element write", "DD2", __LINE__);
  }
  dd_write_images(r, init, r->name, r->init_img, r->null_img);
  auto* old = buf<DFile>(r);
  Free fo{old};
  std::memcpy(old->name.data(), r->name, 8);
  PROTO_FULL(r->file, 0, reinterpret_cast<uint8_t*>(old));
  r->file->op = FM_OP_EQUAL | FM_OP_HOLD;
  if (fm_read(r->file)) {
    if (!fm_del(r->file)) dd_fail(r->file->status, "Bad FILE Del ", "DD2", __LINE__);
  } else if (r->file->status != FM_ST_NO_RECORD) {
    dd_fail(r->file->status, "Bad FILE Del ", "DD2", __LINE__);
  }
  PROTO_FULL(r->file, 0, reinterpret_cast<uint8_t*>(fi));
  if (!fm_write(r->file)) dd_fail(r->file->status, "Bad FILE Write", "DD2", __LINE__);
  auto* rc = buf<DRecord>(r);
  Free frc{rc};
  std::memcpy(rc->name.data(), r->name, 8);
  PROTO_FULL(r->rec, 0, reinterpret_cast<uint8_t*>(rc));
  r->rec->op = FM_OP_EQUAL | FM_OP_HOLD;
  if (!fm_read(r->rec)) dd_fail(r->rec->status, "Bad record read ", "DD2", __LINE__);
  uint16_t keep = rc->rec_len;
  std::memcpy(rc, fi, 140);
  rc->rec_len = keep;
  if (!fm_rewrite(r->rec)) dd_fail(r->rec->status, "Bad rewrite ", "DD2", __LINE__);
  DdCtx ctx;
  std::memcpy(ctx.app, r->app, 3);
  std::memcpy(ctx.ver, r->ver, 2);
  ctx.elem = r->elem;
  ctx.init = init;
  if (bld_sum_fi(&ctx, fi) < 0) dd_sys_err("DD2", __LINE__, ctx.error.c_str());
}
