// The dictionary compiler against the generator: every file of the system
// applications and of the test application, compiled by dd_cmpl from the
// design records the generator writes (FIELD records in element order, a
// DOMAIN per field), gives the generator's elements, record layout and
// INITIAL and NULL images, outside the bytes where the two builders differ
// by design (listed in `normalise`); so do the work fields.
#include <gtest/gtest.h>

#include <array>
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

bool d_is_date(int type) { return type == 3 || type == 4 || type == 6 || type == 7 || type == 9 || type == 10; }

// The bytes where the builders differ by design, set alike in both.
void normalise(DElem& e) {
  e.area = 0;
  e.number = 0;         // the design records number the key groups' entries too
  std::memset(e.ident_stamp.data(), 0, 8);
  std::memset(e.cmpl_stamp.data(), 0, 8);
  e.domain.set("");     // the compiler names each data field's domain
  e.case_code = 0;      // the case code of alpha values only
  e.usage = 0;
  e.field_no = 0;       // the generator numbers a one-field key 1
  e.rng_code1 = e.rng_code2 = 255;  // binary widths as domain ranges
  e.rng_value1.set("");
  e.rng_value2.set("");
  if (e.type == 0 || e.type == 2 || e.type == 13) e.type = 1;  // opaque and other text: alpha
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
  for (const char* f : {"FIELD", "DOMAIN", "RECORD"}) ASSERT_TRUE(by_name.count(f)) << f;
  std::map<std::string, std::vector<DElem>> gen_elems;
  std::vector<DElem> gen_work;
  for (const auto& r : by_name["ELEMENT"]->records) {
    const DElem& e = rec::view<DElem>(r.data());
    if (e.work == '0') gen_elems[trim(e.file.view())].push_back(e);
    else gen_work.push_back(e);
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
  for (const auto& r : by_name["DOMAIN"]->records) write(dom, rec::view<DDomain>(r.data()));
  for (const auto& r : by_name["FIELD"]->records) write(fld, rec::view<DField>(r.data()));
  for (const auto& r : by_name["RECORD"]->records) {
    DRecord dr = rec::view<DRecord>(r.data());
    std::memset(dr.cmpl_stamp.data(), 0xFF, 8);
    write(rec, dr);
  }
  int compared = 0, keyed = 0, split = 0;
  for (const auto& r : by_name["FILE"]->records) {
    const DFile& gf = rec::view<DFile>(r.data());
    std::string name = trim(gf.name.view());
    SCOPED_TRACE(name);
    const std::vector<DElem>& ge = gen_elems[name];
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
    EXPECT_EQ(cf->org, gf.org);
    EXPECT_EQ(cf->key_count, gf.key_count);
    for (int k = 0; k < gf.key_count; ++k) {
      EXPECT_EQ(cf->seg_count[k], gf.seg_count[k]) << "key " << k;
      EXPECT_EQ(cf->key_len[k], gf.key_len[k]) << "key " << k;
    }
    // ELEMENT: every data field
    std::map<std::string, DElem> got;
    std::vector<DElem> order;
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
      order.push_back(*ce);
    }
    mm_free(ce);
    // the compiled keys: the segments the engine declares (the catalogue's,
    // for a declared file), from the key's element or its group's members
    for (int k = 0; k < cf->key_count; ++k) {
      size_t at = 0;
      while (at < order.size() && order[at].number != cf->key_elem[k]) ++at;
      ASSERT_LT(at, order.size()) << "key " << k;
      std::vector<std::array<int, 3>> segs;
      auto add = [&](const DElem& m) {
        bool bin = m.type == 5 || m.type == 6 || m.type == 7;
        for (int o = 0; o < m.occurs; ++o) {
          int off = m.offset + o * m.length;
          if ((m.type == 6 || m.type == 7) && m.length == 8) {
            segs.push_back({off, 4, FM_SEG_BINARY});
            segs.push_back({off + 4, 4, FM_SEG_BINARY});
          } else {
            segs.push_back({off, int(m.length), bin ? FM_SEG_BINARY : FM_SEG_ALPHA});
          }
        }
      };
      if (order[at].kind == 2) {
        for (size_t j = at + 1; j < order.size(); ++j) {
          if (order[j].kind != 2 && order[j].kind != 3) add(order[j]);
          if (order[j].name == order[at].domain) break;
        }
      } else {
        add(order[at]);
      }
      const qg::GenFile* g = by_name[name];
      ASSERT_LT(size_t(k), g->keys.size());
      EXPECT_EQ(segs, g->keys[size_t(k)].segs) << "key " << k;
      EXPECT_EQ(order[at].key_no, g->keys[size_t(k)].no);
      EXPECT_EQ(order[at].key_dups == '1', g->keys[size_t(k)].dup);
      ++keyed;
    }
    mm_free(cf);
    for (const DElem& e : ge) {
      if (e.kind != 1) continue;
      std::string en = trim(e.name.view());
      auto it = got.find(en);
      ASSERT_NE(it, got.end()) << en;
      DElem a = e, b = it->second;
      if (b.kind != 1) {
        // a field a key segment splits (now a group header over pieces) or
        // one of several fields a segment covers (now a substring): its
        // place is the same
        EXPECT_TRUE(b.kind == 2 || b.kind == 4) << en;
        EXPECT_EQ(b.offset, a.offset) << en;
        EXPECT_EQ(size_t(b.length) * b.occurs, size_t(a.length) * a.occurs) << en;
        ++split;
        continue;
      }
      if (a.key_kind != b.key_kind) {
        // a key of several fields, or one out of number order: a group of
        // synonyms in the design; an 8-byte binary date keeps its key of
        // two segments, which the generator made a group of
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
        // a field split by a key segment or covered by one: its bytes
        // outside the segments are blank (IMAGE and ITEM image numbers'
        // bytes 37-39, CHILD's discriminator)
        if (got[trim(e.name.view())].kind != 1) continue;
        if (kind == 1 && (e.type == 6 || e.type == 7) && dd_blank(e.initial.data(), 60)) continue;
        size_t from = e.offset, n = size_t(e.length) * e.occurs;
        EXPECT_EQ(std::vector<uint8_t>(img.begin() + long(from), img.begin() + long(from + n)),
                  std::vector<uint8_t>(want.begin() + long(from), want.begin() + long(from + n)))
            << trim(e.name.view()) << (kind == 1 ? " INITIAL" : " NULL") << " type " << int(e.type);
      }
    }
  }
  // the work fields
  ASSERT_EQ(::mark(0, [&] { dd_cmpl(1, "DIF00*       ", m1, m2, &files); }), 1);
  std::map<std::string, DElem> work;
  auto* we = static_cast<DElem*>(MM_ALLOC(pool(), sizeof(DElem)));
  PROTO_FULL(files.elem, 1, reinterpret_cast<uint8_t*>(we));
  files.elem->op = FM_OP_FIRST;
  fm_start(files.elem);
  for (;;) {
    files.elem->op = 0;
    if (!fm_rdnxt(files.elem)) break;
    if (we->work == '1') work[trim(we->name.view())] = *we;
  }
  mm_free(we);
  ASSERT_EQ(work.size(), gen_work.size());
  for (DElem a : gen_work) {
    DElem b = work[trim(a.name.view())];
    EXPECT_NE(b.area, 0u);
    a.number = 0;  // a work field's element has no number
    normalise(a);
    normalise(b);
    for (size_t i = 0; i < sizeof(DElem); ++i)
      if (reinterpret_cast<uint8_t*>(&a)[i] != reinterpret_cast<uint8_t*>(&b)[i]) {
        ADD_FAILURE() << trim(a.name.view()) << ": byte " << i << " generator " << int(reinterpret_cast<uint8_t*>(&a)[i])
                      << " compiler " << int(reinterpret_cast<uint8_t*>(&b)[i]);
        break;
      }
  }
  EXPECT_GE(compared, 500);
  EXPECT_GE(keyed, 40);
  std::printf("compared %d elements, %d keys, %d fields split or covered\n", compared, keyed, split);
}

}  // namespace
