// The dictionary compiler against the generator: every file of the system
// applications and of the test application, described as design records
// (one DOMAIN per field, FIELD records in element order) made from the
// generator's ELEMENT and FILE records, compiles by dd_cmpl into the same
// elements, record layout and INITIAL and NULL images, outside the bytes
// where the two builders differ by design (listed in `normalise`).
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dictionary/dd1.h"
#include "dictionary/dict_support.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/pd.h"
#include "foundation/ut.h"
#include "gen.h"
#include "tools/gen_support.h"

namespace {

MmPool pool() {
  static MmPool p = mm_create_pool(" GENDD     ", 0, 0);
  return p;
}

FmArb* mem_file(const char* builder) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb fdb;
  fm_cat_fill(fm_cat_find(builder), &fdb, kdb, sdb, "DIF", "00");
  fdb.fclass = FM_CLASS_MEMORY;
  EXPECT_TRUE(FM_CREATE(&fdb, com.depth, 100, FM_OPT_BASE, 15, 15)) << builder;
  return fdb.handle.get();
}

template <class T>
void write(FmArb* a, const T& r) {
  auto* b = static_cast<uint8_t*>(MM_ALLOC(pool(), sizeof(T)));
  std::memcpy(b, &r, sizeof(T));
  PROTO_FULL(a, 0, b);
  EXPECT_TRUE(fm_write(a)) << "status " << a->status.get();
  mm_free(b);
}

std::string trim(std::string_view s) {
  std::string t(s);
  t.erase(t.find_last_not_of(' ') + 1);
  return t;
}

// The mask of a date element's unit range.
std::string date_mask(const DElem& e) {
  std::string m;
  bool julian = e.type == 3 || e.type == 6 || e.type == 9;
  for (int u = e.digits; u >= e.decimals; --u) {
    if (julian && u == 6) continue;
    if (julian && u == 5) m += "005";
    else m += "0" + std::to_string(u);
  }
  return m;
}

// The domain that gives a generated data element its storage.
DDomain domain_of(const DElem& e) {
  DDomain d;
  std::memset(&d, ' ', sizeof d);
  d.cls = 0;
  std::memcpy(d.name.data(), e.name.data(), 22);
  std::memset(d.stamp.data(), 0xFF, 8);
  d.dflt_len = e.length;
  d.token = 0;
  d.rng_code1 = d.rng_code2 = 255;
  d.case_code = 2;
  d.alpha_kind = 0;
  d.justify = 0;
  d.b495.set("1");
  d.fill.set(" ");
  d.squeeze.set("0");
  d.null_value = e.null_value;
  bool sign = e.sign == '1';
  switch (e.type.get()) {
    case 5: case 8: {
      d.decl_kind = 1;
      d.storage = e.type == 5 ? 1 : 2;
      int total = e.type == 5 ? e.digits : 2 * e.length - 1;
      std::string m(size_t(total - e.decimals), '9');
      if (e.decimals) m += "." + std::string(e.decimals, '9');
      if (sign) m += "-";
      d.mask.set(m);
      if (e.type == 5 && e.length < 4) {
        // the field's width narrows the range of its digits
        int64_t hi = sign ? (int64_t(1) << (8 * e.length - 1)) - 1 : (int64_t(1) << (8 * e.length)) - 1;
        auto text = [&](int64_t v) {
          std::string t = std::to_string(v < 0 ? -v : v);
          if (e.decimals) {
            t.insert(0, size_t(std::max(0, e.decimals + 1 - int(t.size()))), '0');
            t.insert(t.size() - e.decimals, ".");
          }
          return (v < 0 ? "-" : "") + t;
        };
        d.rng_code1 = 4;
        d.rng_value1.set(text(hi));
        if (sign) {
          d.rng_code2 = 2;
          d.rng_value2.set(text(-hi - 1));
        }
      }
      break;
    }
    case 12:
      d.decl_kind = 1;
      d.storage = 3;
      break;
    case 11:
      d.decl_kind = 3;
      d.storage = 0;
      break;
    case 3: case 4: case 6: case 7: case 9: case 10:
      d.decl_kind = 2;
      d.storage = e.type == 6 || e.type == 7 ? 1 : e.type == 9 || e.type == 10 ? 2 : 3;
      d.mask.set(dd_blank(e.mask.data(), 60) ? date_mask(e) : trim(e.mask.view()));
      break;
    default:  // text of every kind, and opaque bytes
      d.decl_kind = 4;
      d.storage = 1;
      break;
  }
  d.kind = 0;
  return d;
}

bool d_is_date(int type) { return type == 3 || type == 4 || type == 6 || type == 7 || type == 9 || type == 10; }

// A FIELD record of a generated data element.
DField field_of(const DElem& e) {
  DField f;
  std::memset(&f, ' ', sizeof f);
  std::memcpy(&f, &e, 300);
  f.area = 0;
  std::memcpy(f.domain.data(), e.name.data(), 22);
  f.offset = 0;
  f.length = 0;
  std::memset(f.cmpl_stamp.data(), 0, 8);
  f.initial = e.initial;
  if (d_is_date(e.type) && !dd_blank(e.initial.data(), 60)) {
    // the sources write ISO dates; the design record holds the universal
    // date text (its digits, century first)
    std::string digits;
    for (char c : e.initial.view())
      if (c >= '0' && c <= '9') digits += c;
    f.initial.set(digits);
  }
  f.b525 = 0;
  f.b529 = 0;
  f.dom_class = 0;
  f.b531.set("0");
  return f;
}

// The bytes where the builders differ by design, set alike in both.
void normalise(DElem& e) {
  e.area = 0;
  std::memset(e.cmpl_stamp.data(), 0, 8);
  e.domain.set("");     // the compiler names each data field's domain
  e.case_code = 0;      // the case code of alpha values only
  e.usage = 0;
  e.field_no = 0;       // the generator numbers a one-field key 1
  e.rng_code1 = e.rng_code2 = 255;  // binary widths as domain ranges
  e.rng_value1.set("");
  e.rng_value2.set("");
  if (e.type == 0 || e.type == 2 || e.type == 13) e.type = 1;  // opaque and other text: alpha
  if (e.type == 8 || e.type == 12) e.digits = e.decimals = 0;   // packed: integer digits
  if (e.type != 1) e.mask.set("");  // dates always name their units
  if (d_is_date(e.type)) e.initial.set("");  // ISO in the sources, universal in the design
  if (e.type == 1) e.entry_flag = '1';
}

TEST(GenDd, EveryGeneratedFileCompilesToTheSameLayoutAndImages) {
  gent::TmpDir t;
  DictTempDir dir;
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, QUVO_TEST_DIR "/tools/apps"},
                           (t.path / "boot").string(), &errs, &made))
      << errs.str();
  std::map<std::string, const qg::GenFile*> by_name;
  for (const qg::GenFile& g : made) by_name[g.name] = &g;
  ASSERT_TRUE(by_name.count("ELEMENT") && by_name.count("FILE"));
  std::map<std::string, std::vector<DElem>> gen_elems;
  for (const auto& r : by_name["ELEMENT"]->records) {
    const DElem& e = rec::view<DElem>(r.data());
    if (e.work == '0') gen_elems[trim(e.file.view())].push_back(e);
  }
  FmArb* dom = mem_file("INIT_DDOM_FDB");
  FmArb* fld = mem_file("INIT_DFLD_FDB");
  FmArb* rec = mem_file("INIT_DREC_FDB");
  DdFiles files;
  files.dom = dom;
  files.fld = fld;
  files.rec = rec;
  files.token = mem_file("INIT_DTOKEN_FDB");
  files.elem = mem_file("INIT_DELEM_FDB");
  files.file = mem_file("INIT_DFI_FDB");
  files.init = mem_file("INIT_DINIT_FDB");
  files.bitmap = mem_file("INIT_DBITMAP_FDB");
  FmArb *m1, *m2;
  ASSERT_TRUE(dd_msg_create(1, com.depth, &m1));
  ASSERT_TRUE(dd_msg_create(2, com.depth, &m2));
  unsetenv("DD_SUMMARY_FILE");
  int compared = 0, whole = 0;
  for (const auto& r : by_name["FILE"]->records) {
    const DFile& gf = rec::view<DFile>(r.data());
    std::string name = trim(gf.name.view());
    SCOPED_TRACE(name);
    const std::vector<DElem>& ge = gen_elems[name];
    // A key of several segments is a group of substrings in the
    // generator's model, which the compiler refuses inside a group: such
    // files are compared field by field, their keys left out.
    bool groups = false;
    for (const DElem& e : ge) groups = groups || e.kind != 1;
    DRecord dr;
    std::memcpy(&dr, &gf, sizeof dr);
    std::memset(dr.cmpl_stamp.data(), 0xFF, 8);
    if (groups) dr.org = 2;
    write(rec, dr);
    for (const DElem& e : ge) {
      if (e.kind != 1) continue;
      write(dom, domain_of(e));
      DField f = field_of(e);
      if (groups) {
        f.key_kind = 255;
        f.key_no = 255;
      }
      write(fld, f);
    }
    std::string target = "DIF00" + std::string(gf.name.view());
    ASSERT_EQ(::mark(0, [&] { dd_cmpl(1, target.c_str(), m1, m2, &files); }), 1);
    // the compiler's messages: only the alignment notes of declared layouts
    auto* m = static_cast<DMsg2*>(MM_ALLOC(pool(), sizeof(DMsg2)));
    std::memset(m, ' ', sizeof *m);
    std::memcpy(m, target.data(), 13);
    PROTO_FULL(m2, 0, reinterpret_cast<uint8_t*>(m));
    m2->key.set(reinterpret_cast<uint8_t*>(m));
    m2->key_len = 13;
    m2->op = FM_OP_AT | FM_OP_KEY;
    fm_start(m2);
    for (;;) {
      m2->op = 0;
      if (!fm_rdnxt(m2) || std::memcmp(m, target.data(), 13)) break;
      EXPECT_TRUE(m->number == 100045 || m->number == 100055 || m->number == 100065)
          << m->number << " " << trim(m->object.view()) << ": " << trim(std::string_view(m->text.data(), m->len));
    }
    mm_free(m);
    // FILE: the layout
    auto* cf = static_cast<DFile*>(MM_ALLOC(pool(), sizeof(DFile)));
    std::memcpy(cf->name.data(), gf.name.data(), 8);
    PROTO_FULL(files.file, 0, reinterpret_cast<uint8_t*>(cf));
    files.file->op = FM_OP_EQUAL;
    ASSERT_TRUE(fm_read(files.file));
    EXPECT_EQ(cf->rec_len, gf.rec_len);
    if (!groups) {
      ++whole;
      EXPECT_EQ(cf->org, gf.org);
      EXPECT_EQ(cf->key_count, gf.key_count);
      for (int k = 0; k < gf.key_count; ++k) {
        EXPECT_EQ(cf->seg_count[k], gf.seg_count[k]) << "key " << k;
        EXPECT_EQ(cf->key_len[k], gf.key_len[k]) << "key " << k;
        EXPECT_EQ(cf->key_elem[k], gf.key_elem[k]) << "key " << k;
      }
    }
    mm_free(cf);
    // ELEMENT: every data field
    std::map<std::string, DElem> got;
    auto* ce = static_cast<DElem*>(MM_ALLOC(pool(), sizeof(DElem)));
    std::memset(ce, ' ', sizeof *ce);
    std::memcpy(ce->file.data(), gf.name.data(), 8);
    PROTO_FULL(files.elem, 2, reinterpret_cast<uint8_t*>(ce));
    files.elem->key.set(reinterpret_cast<uint8_t*>(ce->file.data()));
    files.elem->key_len = 8;
    files.elem->op = FM_OP_AT | FM_OP_KEY;
    fm_start(files.elem);
    for (;;) {
      files.elem->op = 0;
      if (!fm_rdnxt(files.elem) || std::memcmp(ce->file.data(), gf.name.data(), 8)) break;
      got[trim(ce->name.view())] = *ce;
    }
    mm_free(ce);
    for (const DElem& e : ge) {
      if (e.kind != 1) continue;
      std::string en = trim(e.name.view());
      auto it = got.find(en);
      ASSERT_NE(it, got.end()) << en;
      DElem a = e, b = it->second;
      if (groups) {
        a.key_kind = b.key_kind;
        a.key_no = b.key_no;
        a.key_order = b.key_order;
        a.key_dups = b.key_dups;
      }
      normalise(a);
      normalise(b);
      for (size_t i = 0; i < sizeof(DElem); ++i)
        if (reinterpret_cast<uint8_t*>(&a)[i] != reinterpret_cast<uint8_t*>(&b)[i]) {
          ADD_FAILURE() << en << ": byte " << i << " generator " << int(reinterpret_cast<uint8_t*>(&a)[i])
                        << " compiler " << int(reinterpret_cast<uint8_t*>(&b)[i]);
          break;
        }
      ++compared;
    }
    // INITIAL and NULL images, field by field (opaque bytes: zero in the
    // generator's, blank in the compiler's; a binary date with no initial
    // value starts as the null date)
    const qg::GenFile* g = by_name[name];
    ASSERT_NE(g, nullptr);
    for (int kind = 1; kind <= 2; ++kind) {
      std::vector<uint8_t> img;
      auto* piece = static_cast<DInit*>(MM_ALLOC(pool(), sizeof(DInit)));
      for (uint32_t seq = 1;; ++seq) {
        std::memcpy(piece->file.data(), gf.name.data(), 8);
        piece->kind = uint8_t(kind);
        piece->seq = seq;
        PROTO_FULL(files.init, 0, reinterpret_cast<uint8_t*>(piece));
        files.init->op = FM_OP_EQUAL;
        files.init->rec_len = sizeof(DInit);
        if (!fm_read(files.init)) break;
        img.insert(img.end(), piece->data.data(), piece->data.data() + files.init->len_read.get() - DINIT_HEAD);
      }
      mm_free(piece);
      const std::vector<uint8_t>& want = kind == 1 ? g->init : g->null;
      ASSERT_EQ(img.size(), want.size());
      for (const DElem& e : ge) {
        if (e.kind != 1) continue;
        if (e.type == 0) continue;
        if (kind == 1 && (e.type == 6 || e.type == 7) && dd_blank(e.initial.data(), 60)) continue;
        size_t from = e.offset, n = size_t(e.length) * e.occurs;
        EXPECT_EQ(std::vector<uint8_t>(img.begin() + long(from), img.begin() + long(from + n)),
                  std::vector<uint8_t>(want.begin() + long(from), want.begin() + long(from + n)))
            << trim(e.name.view()) << (kind == 1 ? " INITIAL" : " NULL") << " type " << int(e.type);
      }
    }
  }
  EXPECT_GE(compared, 500);
  EXPECT_GE(whole, 15);
  std::printf("compared %d elements, %d files whole\n", compared, whole);
}

}  // namespace
