// The dictionary compiler against the generator's model: the generator
// writes the design records (FIELD in element order, a DOMAIN per field) and
// takes its ELEMENT, FILE, INITIAL and BITMAP records from dd_cmpl. Every
// file of the system applications and of the test applications compiles to
// the elements its fields describe, the generator's record layout and keys
// and the INITIAL and NULL images the generator's own encoders give, outside
// the bytes where the compiler's rules differ from the generator's earlier
// records (listed in `normalise`); so do the work fields.
#include <gtest/gtest.h>

#include <algorithm>
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
  if (d_is_date(e.type)) e.mask.set("");  // dates always name their units
  // a number's mask: compared by the test (the default mask where none was
  // given); its null value may be written wider (compared as images)
  if (e.type == 5 || e.type == 8) {
    e.mask.set("");
    e.null_value.set("");
  }
  if (d_is_date(e.type)) e.initial.set("");  // ISO in the sources, universal in the design
  if (e.type == 1) e.entry_flag = '1';
}

DElem elem_of(const std::vector<uint8_t>& r) {
  DElem e;
  std::memcpy(&e, r.data(), sizeof e);
  return e;
}

// The first differing byte of two elements, or "" when they are equal.
std::string differ(const DElem& a, const DElem& b) {
  const auto* x = reinterpret_cast<const uint8_t*>(&a);
  const auto* y = reinterpret_cast<const uint8_t*>(&b);
  for (size_t i = 0; i < sizeof(DElem); ++i)
    if (x[i] != y[i])
      return "byte " + std::to_string(i) + " model " + std::to_string(x[i]) + " compiler " + std::to_string(y[i]);
  return "";
}

// A number shows by its own mask, or without one as the engine's default
// mask shows it (0.50, not .50): 1 when a is a number.
int same_number_mask(const DElem& a, const DElem& b) {
  if (a.type != 5 && a.type != 8) return 0;
  std::string want = trim(a.mask.view());
  if (want.empty()) {
    want.assign(a.digits, '9');
    if (!want.empty()) want.back() = '0';
    if (a.decimals) want += "." + std::string(a.decimals, '9');
    if (a.sign == '1') want += "-";
  }
  EXPECT_EQ(trim(b.mask.view()), want) << trim(a.name.view());
  return 1;
}

TEST(GenDd, EveryGeneratedFileCompilesToTheSameLayoutAndImages) {
  gent::TmpDir t;
  std::vector<qg::GenFile> made;
  std::vector<std::vector<uint8_t>> work_model;
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, QUVO_TEST_DIR "/tools/apps",
                                                    QUVO_TEST_DIR "/tools/fixture-app",
                                                    QUVO_TEST_DIR "/executors/fp-app",
                                                    QUVO_TEST_DIR "/executors/chld-app"},
                           (t.path / "boot").string(), &errs, &made, &work_model))
      << errs.str();
  std::map<std::string, const qg::GenFile*> by_name;
  for (const qg::GenFile& g : made) by_name[g.name] = &g;
  for (const char* f : {"ELEMENT", "FILE", "FIELD", "DOMAIN", "RECORD", "BITMAP"}) ASSERT_TRUE(by_name.count(f)) << f;
  std::map<std::string, std::vector<DElem>> elems;  // compiled, per file in element-number order
  std::map<std::string, DElem> work;
  for (const auto& r : by_name["ELEMENT"]->records) {
    DElem e = elem_of(r);
    if (e.work == '0') elems[trim(e.file.view())].push_back(e);
    else work[trim(e.name.view())] = e;
  }
  for (auto& [f, v] : elems)
    std::sort(v.begin(), v.end(), [](const DElem& a, const DElem& b) { return a.number < b.number; });
  std::map<std::string, DFile> files;
  for (const auto& r : by_name["FILE"]->records) files[trim(rec::view<DFile>(r.data()).name.view())] = rec::view<DFile>(r.data());
  // every identity stamp is one (ELEMENT key 4), and every area number too
  std::set<std::vector<uint8_t>> idents;
  std::set<uint32_t> areas;
  for (const auto& r : by_name["ELEMENT"]->records) {
    DElem e = elem_of(r);
    EXPECT_TRUE(idents.insert(std::vector<uint8_t>(e.ident_stamp.data(), e.ident_stamp.data() + 8)).second)
        << trim(e.name.view());
    if (e.work == '1') {
      EXPECT_TRUE(areas.insert(e.area).second) << trim(e.name.view());
    }
  }
  int compared = 0, keyed = 0, split = 0, masks = 0;
  for (const qg::GenFile& g : made) {
    SCOPED_TRACE(g.name);
    ASSERT_TRUE(files.count(g.name));
    const DFile& cf = files[g.name];
    EXPECT_TRUE(areas.insert(cf.area).second);
    EXPECT_TRUE(areas.insert(cf.area2).second);
    // FILE: the layout and the keys of the generator (the catalogue's, for
    // a declared file), from each key's element or its group's members
    EXPECT_EQ(cf.rec_len, g.rec_len);
    EXPECT_EQ(cf.org, g.org);
    EXPECT_EQ(cf.var[0] == '1', g.var);
    ASSERT_EQ(cf.key_count, g.keys.size());
    const std::vector<DElem>& order = elems[g.name];
    std::map<std::string, DElem> got;
    for (const DElem& e : order) got[trim(e.name.view())] = e;
    for (int k = 0; k < cf.key_count; ++k) {
      size_t at = 0;
      while (at < order.size() && order[at].number != cf.key_elem[k]) ++at;
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
      int len = 0;
      for (const auto& sg : segs) len += sg[1];
      EXPECT_EQ(segs, g.keys[size_t(k)].segs) << "key " << k;
      EXPECT_EQ(cf.key_len[k], len) << "key " << k;
      EXPECT_EQ(order[at].key_no, g.keys[size_t(k)].no);
      EXPECT_EQ(order[at].key_dups == '1', g.keys[size_t(k)].dup);
      ++keyed;
    }
    // ELEMENT: every field as its definition describes it
    for (const auto& r : g.fields) {
      DElem a = elem_of(r);
      std::string en = trim(a.name.view());
      auto it = got.find(en);
      ASSERT_NE(it, got.end()) << en;
      DElem b = it->second;
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
      // each data field names its domain, which bears its name
      EXPECT_EQ(trim(b.domain.view()), en);
      EXPECT_EQ(b.area, cf.area) << en;
      masks += same_number_mask(a, b);
      // the keys were compared above by their segments
      a.key_kind = b.key_kind;
      a.key_no = b.key_no;
      a.key_order = b.key_order;
      a.key_dups = b.key_dups;
      normalise(a);
      normalise(b);
      std::string d = differ(a, b);
      EXPECT_EQ(d, "") << en;
      ++compared;
    }
    // INITIAL and NULL images against the generator's encoders, field by
    // field (opaque bytes: zero in the generator's, blank in the
    // compiler's; a binary date with no initial value starts as the null
    // date)
    for (int kind = 1; kind <= 2; ++kind) {
      const std::vector<uint8_t>& img = kind == 1 ? g.init : g.null;
      const std::vector<uint8_t>& want = kind == 1 ? g.src_init : g.src_null;
      ASSERT_EQ(img.size(), want.size());
      for (const auto& r : g.fields) {
        DElem e = elem_of(r);
        if (e.type == 0 || got[trim(e.name.view())].kind != 1) continue;
        if (kind == 1 && (e.type == 6 || e.type == 7) && dd_blank(e.initial.data(), 60)) continue;
        size_t from = e.offset, n = size_t(e.length) * e.occurs;
        EXPECT_EQ(std::vector<uint8_t>(img.begin() + long(from), img.begin() + long(from + n)),
                  std::vector<uint8_t>(want.begin() + long(from), want.begin() + long(from + n)))
            << trim(e.name.view()) << (kind == 1 ? " INITIAL" : " NULL") << " type " << int(e.type);
      }
    }
  }
  // the work fields
  ASSERT_EQ(work.size(), work_model.size());
  for (const auto& r : work_model) {
    DElem a = elem_of(r);
    std::string en = trim(a.name.view());
    ASSERT_TRUE(work.count(en)) << en;
    DElem b = work[en];
    EXPECT_EQ(b.number, 0u);  // a work field's element has no number
    masks += same_number_mask(a, b);
    normalise(a);
    normalise(b);
    EXPECT_EQ(differ(a, b), "") << en;
  }
  EXPECT_GE(compared, 500);
  EXPECT_GE(keyed, 40);
  EXPECT_GE(masks, 100);
  std::printf("compared %d elements, %d keys, %d fields split or covered, %d number masks, %zu work fields\n",
              compared, keyed, split, masks, work.size());
}

}  // namespace
