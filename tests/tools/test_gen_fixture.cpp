// One small application written twice: as readable source
// (tests/tools/fixture-app/FXA), generated and added to a bootstrapped data
// directory with QUVO_BOOT_AP, and through the test fixtures into a fresh
// one. Both dictionaries hold the same records, file by file, and the same
// SYSDIR entries.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "files/dictenc.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "gen.h"
#include "gen_support.h"
#include "support/dict_fixtures.h"
#include "support/quvo_run.h"

using namespace gent;

namespace {

using Recs = std::multiset<std::vector<uint8_t>>;

const char* const kApp = "FXA";

// The design files whose records belong to a process (owner bytes 1-30).
bool owned_by_process(const std::string& file) {
  for (const char* f : {"PROCESS", "FRAME", "IMAGE", "ROW", "CHR", "ITEM", "CHILD", "SELECT", "SORT", "STMT"})
    if (file == f) return true;
  return false;
}

std::string pad8(const std::string& s) { return s + std::string(8 - s.size(), ' '); }

// Every record of every file of the application's dictionary (files the
// dictionary lacks hold none), and the SYSDIR entries of the application;
// read with the ordinary open in the data directory `var`.
struct Dict {
  std::map<std::string, Recs> files;
  Recs sysdir;
};

Recs read_file(FmFdb* fdb, MmPool pool) {
  Recs out;
  EXPECT_TRUE(FM_OPEN(fdb, com.depth, 0, 1, 15)) << fdb->name.str() << ": status " << fdb->status;
  if (!fdb->handle.get()) return out;
  FmArb* a = fdb->handle.get();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, fdb->rec_len));
  a->rec.set(buf);
  a->rec_len = fdb->rec_len;
  a->key_no = 0;
  if (fdb->org == FM_ORG_SINGLE) {
    a->rid = 1;
    a->op = FM_OP_RID;
    if (fm_read(a)) out.emplace(buf, buf + a->len_read);
  } else {
    a->op = fdb->key_count > 0 ? FM_OP_FIRST : 0;
    if (fdb->key_count == 0 || fm_start(a)) {
      a->op = 0;
      while (fm_rdnxt(a)) out.emplace(buf, buf + a->len_read);
    }
  }
  FM_CLOSE(a, 0);
  return out;
}

Dict read_dict(const std::string& var, const std::vector<std::string>& design_files) {
  setenv("QUVOPATH", var.c_str(), 1);
  bi_init_com();
  fms_init();
  MmPool pool = mm_create_pool(" GENFXA    ", 0, 0);
  Dict d;
  std::error_code ec;
  for (const std::string& name : design_files) {
    const DictRecDesc* r = dict_rec_find(pad8(name).c_str());
    if (!r) {
      ADD_FAILURE() << "no declaration of " << name;
      continue;
    }
    const FmCatEntry* e = fm_cat_find(r->builder);
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
    FmFdb fdb;
    EXPECT_TRUE(e && fm_cat_fill(e, &fdb, kdb, sdb, kApp, "00")) << name;
    if (!e) continue;
    if (e->ident == FM_CAT_CALLER) INIT_SRC_PATH(&fdb, kApp, "00", pad8(name).c_str(), FM_PT_DATA);
    // a file the fixtures had no records for was never made
    FmFdb probe = fdb;
    if (!FM_OPEN(&probe, com.depth, FM_OPT_NO_STRUCT, 1, 15)) {
      d.files[name];
      continue;
    }
    FM_CLOSE(probe.handle.get(), 0);
    d.files[name] = read_file(&fdb, pool);
  }
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb sd;
  INIT_DSYSDIR_FDB(&sd, kdb, sdb);
  for (const auto& r : read_file(&sd, pool))
    if (rec::view<FmSysdirRec>(r.data()).app == kApp) d.sysdir.insert(r);
  fm_shutdown();
  mm_destroy_pool(pool);
  return d;
}

// The fields in which two records of `file` differ, for the failure message.
std::string differences(const std::string& file, const Recs& a, const Recs& b) {
  const DictRecDesc* d = dict_rec_find(pad8(file).c_str());
  std::ostringstream out;
  auto show = [&](const char* side, const Recs& one, const Recs& other) {
    for (const auto& r : one) {
      if (other.count(r)) continue;
      out << "\n  only " << side << " (" << r.size() << " bytes):";
      for (int i = 0; d && i < d->count; ++i) {
        const DictField& f = d->fields[i];
        for (int o = 0; o < f.occurs; ++o)
          if (f.offset + (o + 1) * f.width <= int(r.size()))
            out << " " << f.name << (f.occurs > 1 ? "[" + std::to_string(o + 1) + "]" : "") << "="
                << dict_decode(f, o, r.data());
      }
    }
  };
  show("from source", a, b);
  show("from fixtures", b, a);
  return out.str();
}

TEST(GenFixture, AFixtureBuiltApplicationEqualsTheSameOneFromSource) {
  TempDir t;
  std::string boot = t.sub("boot"), from_src = t.sub("src"), from_fx = t.sub("fx");
  std::filesystem::create_directories(from_src);
  std::filesystem::create_directories(from_fx);
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, QUVO_TEST_DIR "/tools/fixture-app"}, boot,
                           &errs, &made))
      << errs.str();
  std::vector<std::string> env{"QUVOPATH=" + from_src, "QUVO_BOOT_SRC=" + boot, "TERM=dumb"};
  QuvoRun b = run_quvo({"-b"}, env);
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  env.push_back(std::string("QUVO_BOOT_AP=") + kApp);
  b = run_quvo({"-b"}, env);
  ASSERT_EQ(b.status, 0) << b.out << b.err;

  // The same application through the fixtures, into an empty directory.
  setenv("QUVOPATH", from_fx.c_str(), 1);
  bi_init_com();
  fms_init();
  const int menu = 1, input = 2, action = 4;
  std::vector<fx::Rec> procs{fx::process(menu, "FXA MENU", "FXA menu"), fx::process(input, "FXA NOTES", "Notes"),
                             fx::process(action, "FXA TOTALS", "Totals")};
  std::vector<fx::Rec> frames{fx::frame(menu, "FXA MENU", 1, 1, true), fx::frame(input, "FXA NOTES", 1, 1, true),
                              fx::frame(action, "FXA TOTALS", 1, 2)};
  std::vector<fx::Rec> images{fx::image(menu, "FXA MENU", 1, 4, 28), fx::image(input, "FXA NOTES", 1, 2, 33)};
  std::vector<fx::Rec> rows{fx::row(menu, "FXA MENU", 1, 1, "  FXA menu"), fx::row(menu, "FXA MENU", 1, 2, ""),
                            fx::row(menu, "FXA MENU", 1, 3, "    1  Notes"),
                            fx::row(menu, "FXA MENU", 1, 4, "    2  Totals"),
                            fx::row(input, "FXA NOTES", 1, 1, "  Note"), fx::row(input, "FXA NOTES", 1, 2, "  Count")};
  std::vector<fx::Rec> items{fx::item(input, "FXA NOTES", 1, 1, 10, "0LA", "A", {{"input", "1"}}),
                             fx::item(input, "FXA NOTES", 1, 2, 10, "0LA", "AI", {{"input", "1"}})};
  std::vector<fx::Rec> chrs{fx::chr(menu, "FXA MENU", 1, 1, 3, 1, 8, {{"bright", "1"}})};
  std::vector<fx::Rec> children{fx::menu_option("FXA MENU", 1, input, kApp, "FXA NOTES"),
                                fx::menu_option("FXA MENU", 2, action, kApp, "FXA TOTALS")};
  ASSERT_EQ(fx::write("PROCESS", kApp, "00", procs), 3);
  ASSERT_EQ(fx::write("FRAME", kApp, "00", frames), 3);
  ASSERT_EQ(fx::write("IMAGE", kApp, "00", images), 2);
  ASSERT_EQ(fx::write("ROW", kApp, "00", rows), 6);
  ASSERT_EQ(fx::write("ITEM", kApp, "00", items), 2);
  ASSERT_EQ(fx::write("CHR", kApp, "00", chrs), 1);
  ASSERT_EQ(fx::write("CHILD", kApp, "00", children), 2);
  fm_shutdown();

  // Every design file, on both sides.
  std::vector<std::string> design;
  for (const qg::GenFile& f : made)
    if (f.app == "0AD" && f.fclass == 1) design.push_back(f.name);
  ASSERT_GE(design.size(), 19u);
  Dict src = read_dict(from_src, design), fix = read_dict(from_fx, design);

  // The application's own records: those of its processes. The source side's
  // dictionary is the shared design dictionary, so it also holds the system
  // applications' records; the fixtures' holds the application's only.
  const std::set<std::string> own{"FXA MENU", "FXA NOTES", "FXA TOTALS"};
  size_t compared = 0;
  for (const std::string& name : design) {
    SCOPED_TRACE(name);
    Recs mine;
    if (owned_by_process(name))
      for (const auto& r : src.files[name]) {
        std::string p(reinterpret_cast<const char*>(r.data()) + 1, 30);
        while (!p.empty() && p.back() == ' ') p.pop_back();
        if (own.count(p)) mine.insert(r);
      }
    EXPECT_TRUE(mine == fix.files[name]) << differences(name, mine, fix.files[name]);
    compared += mine.size();
  }
  EXPECT_EQ(compared, 3u + 3 + 2 + 6 + 2 + 1 + 2);
  // SYSDIR: every file the fixtures made has the entry the bootstrap gave.
  EXPECT_EQ(fix.sysdir.size(), 7u);
  for (const auto& e : fix.sysdir)
    EXPECT_TRUE(src.sysdir.count(e)) << std::string(e.begin(), e.begin() + 40);
}

}  // namespace
