// The generator as its users run it: the system applications' sources into
// the bootstrap's input. Bad sources are refused with file:line:column and
// leave the output as it was; the same sources give the same bytes.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "files/dictrec.h"
#include "gen.h"
#include "gen_support.h"

using namespace gent;

namespace {

// Spoils a copy of the sources, runs the generator over an existing output
// and expects the refusal `want` (a "path:line:column: text" line, path
// relative to the sources) and an untouched output.
void expect_refused(const std::function<void(const fs::path& src)>& spoil, const std::string& want) {
  TmpDir t;
  fs::path src = copy_sources(t.path);
  spoil(src);
  fs::path out = t.path / "boot";
  write(out / "KEEP", "what was there");
  QgRun r = quvogen(src, out);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find(src.string() + "/" + want), std::string::npos) << "stderr:\n" << r.err;
  auto files = tree(out);
  EXPECT_EQ(files.size(), 1u);
  EXPECT_EQ(files["KEEP"], "what was there");
  for (auto& e : fs::directory_iterator(t.path))
    EXPECT_EQ(e.path().filename().string().find("boot."), std::string::npos) << "left behind: " << e.path();
}

const char kAppl[] = "0SA/APPL.rec";

TEST(Gen, RefusesAnUnknownField) {
  expect_refused([](const fs::path& s) { append(s / kAppl, "\nrecord\n  app = 0XX\n  ver = 00\n  colour = red\n"); },
                 std::string(kAppl) + ":27:3: unknown field \"colour\" of APPL");
}

TEST(Gen, RefusesAValueOutOfRangeForItsType) {
  expect_refused([](const fs::path& s) { write(s / "0SA/USER.rec", "records USER\nrecord\n  id = ABC\n  cache_lim = 300\n"); },
                 "0SA/USER.rec:4:15: \"cache_lim\":");
}

TEST(Gen, RefusesABadDate) {
  expect_refused([](const fs::path& s) { append(s / kAppl, "\nrecord\n  app = 0XX\n  ver = 00\n  stamp = 2026-02-30\n"); },
                 std::string(kAppl) + ":27:11: \"stamp\":");
}

TEST(Gen, RefusesAMissingKeyField) {
  expect_refused([](const fs::path& s) { append(s / kAppl, "\nrecord\n  app = 0XX\n"); },
                 std::string(kAppl) + ":24:1: \"ver\" (part of the key of APPL) is missing");
}

TEST(Gen, RefusesADuplicateKey) {
  expect_refused([](const fs::path& s) { append(s / kAppl, "\nrecord\n  app = 0LA\n  ver = 00\n"); },
                 std::string(kAppl) + ":24:1: record: a record with the same key is already in APPL");
}

TEST(Gen, RefusesARecordLongerThanItsFile) {
  expect_refused(
      [](const fs::path& s) {
        write(s / "0LA/processes/wide.proc", "process WIDE\n  proc_type = menu\nframe 1\nimage 1\nscreen\n|" +
                                                 std::string(300, 'x') + "|\nend screen\n");
      },
      "0LA/processes/wide.proc:6:1: record longer than its file: ROW holds 252 characters of a row");
}

TEST(Gen, RefusesAChildNamingAMissingProcess) {
  expect_refused([](const fs::path& s) { append(s / "0LA/processes/quvo_menu.proc", "option 3 = NO SUCH PROCESS\n"); },
                 "0LA/processes/quvo_menu.proc:22:12: option 3 names no process: \"NO SUCH PROCESS\"");
}

TEST(Gen, RefusesANameInTwoApplications) {
  expect_refused([](const fs::path& s) { append(s / "0SA/files.def", "work\n  AI = binary 4\n"); },
                 "0SA/files.def:17:3: field \"AI\" is also in 0LA");
}

TEST(Gen, RefusesAnItemOfAnUnknownField) {
  expect_refused(
      [](const fs::path& s) {
        std::string p = slurp(s / "0LA/processes/error_message.proc");
        p.replace(p.find("ERROR_MSG_TEXT"), 14, "ERROR_NO_TEXT");
        write(s / "0LA/processes/error_message.proc", p);
      },
      "0LA/processes/error_message.proc:23:11: no field \"ERROR_NO_TEXT\" in the system applications' dictionary");
}

TEST(Gen, SameSourcesGiveTheSameBytes) {
  TmpDir t;
  QgRun a = quvogen(QUVO_DATA_APPS, t.path / "one");
  ASSERT_EQ(a.status, 0) << a.err;
  QgRun b = quvogen(QUVO_DATA_APPS, t.path / "two");
  ASSERT_EQ(b.status, 0) << b.err;
  auto one = tree(t.path / "one"), two = tree(t.path / "two");
  EXPECT_FALSE(one.empty());
  EXPECT_EQ(one, two);
  for (const char* app : {"0AD", "0LA", "0DB", "0SA"})
    EXPECT_TRUE(one.count(std::string("data/dict/") + app + "00/SUMMARY")) << app;
  EXPECT_TRUE(one.count("port/dict/0AD00/PROCESS"));
  EXPECT_TRUE(one.count("port/dict/0SA00/APPL"));
  // A second run over an existing output replaces it whole, and clears
  // what a killed run left beside it.
  write(t.path / "one" / "stale", "x");
  write(t.path / "one.tmp-99999" / "half", "x");
  ASSERT_EQ(quvogen(QUVO_DATA_APPS, t.path / "one").status, 0);
  EXPECT_EQ(tree(t.path / "one"), two);
  EXPECT_FALSE(fs::exists(t.path / "one.tmp-99999"));
}

}  // namespace

namespace {

const qg::GenFile* find(const std::vector<qg::GenFile>& made, const std::string& name) {
  for (const qg::GenFile& f : made)
    if (f.name == name) return &f;
  return nullptr;
}

TEST(Gen, DefinedFieldsGiveTheirImagesAndElements) {
  TmpDir t;
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(QUVO_DATA_APPS, (t.path / "boot").string(), &errs, &made)) << errs.str();
  // PDF4: ERRORS, WARNINGS (u32), OPTION (u16, initial 65535).
  const qg::GenFile* pdf4 = find(made, "PDF4");
  ASSERT_NE(pdf4, nullptr);
  EXPECT_EQ(pdf4->app, "0LA");
  EXPECT_EQ(pdf4->fclass, 2);
  EXPECT_EQ(pdf4->init, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(pdf4->null, std::vector<uint8_t>(10, 0));
  // PDF3: CANCEL OK "1", OPERATIONAL PHASE 1, the call result word at byte 4.
  const qg::GenFile* pdf3 = find(made, "PDF3");
  ASSERT_NE(pdf3, nullptr);
  ASSERT_GE(pdf3->init.size(), 8u);
  EXPECT_EQ(pdf3->init[0], '1');
  EXPECT_EQ(pdf3->init[1], 1);
  EXPECT_EQ(pdf3->null[0], ' ');
  // PDF0: byte 15 is DESIGN ACCESS; DATABASE OPTIONS (14) starts at 2.
  const qg::GenFile* pdf0 = find(made, "PDF0");
  ASSERT_NE(pdf0, nullptr);
  EXPECT_EQ(pdf0->init[14], 2);
  EXPECT_EQ(pdf0->init[15], 0);

  // The ELEMENT records of work field "A" and of the key group of CHILD.
  const qg::GenFile* elem = find(made, "ELEMENT");
  ASSERT_NE(elem, nullptr);
  auto element = [&](const std::string& name) -> const DElem* {
    for (const auto& r : elem->records) {
      const DElem& e = rec::view<DElem>(r.data());
      if (std::string(e.name.view()).substr(0, name.size()) == name &&
          (name.size() == 22 || e.name.view()[name.size()] == ' '))
        return &e;
    }
    return nullptr;
  };
  const DElem* a = element("A");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->work, '1');
  EXPECT_EQ(a->length.get(), 9);  // a calculation variable: 8 packed bytes and a scale
  EXPECT_EQ(a->type, 12);
  EXPECT_TRUE(a->file.blank());
  EXPECT_NE(a->area.get(), 0u);
  const DElem* key = element("CHILD KEY0");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->kind, 2);
  EXPECT_EQ(key->key_kind, 0);
  EXPECT_EQ(key->key_dups, '0');
  const DElem* seg = element("CHILD K0S6");  // bytes 37-39, one alpha segment as the catalogue has it
  ASSERT_NE(seg, nullptr);
  EXPECT_EQ(seg->kind, 4);
  EXPECT_EQ(seg->offset.get(), 37);
  EXPECT_EQ(seg->length.get(), 3);
  EXPECT_EQ(seg->type, 1);
  const DElem* name = element("PROCESS_PROC_NAME");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->offset.get(), 1);
  EXPECT_EQ(name->length.get(), 30);
}

}  // namespace

namespace {

// Bounded fuzz of whole runs: spoiled copies of three sources either
// generate or are refused with places, and a refused run writes nothing.
TEST(Gen, SpoiledSourcesGenerateOrWriteNothing) {
  TmpDir t;
  fs::path src = copy_sources(t.path);
  const char* victims[] = {"0SA/APPL.rec", "0LA/processes/quvo_menu.proc", "0LA/files.def"};
  std::map<std::string, std::string> orig;
  for (const char* v : victims) orig[v] = slurp(src / v);
  std::mt19937 rng(7);
  const char alphabet[] = "|@_=\" \nAZ09-[]x";
  int refused = 0;
  for (int i = 0; i < 40; ++i) {
    const char* v = victims[i % 3];
    std::string s = orig[v];
    for (int e = 0; e < 3; ++e) {
      size_t at = rng() % s.size();
      if (rng() % 2) s[at] = alphabet[rng() % (sizeof alphabet - 1)];
      else s.erase(at, 1);
    }
    write(src / v, s);
    fs::path out = t.path / ("out" + std::to_string(i));
    qg::Errors errs;
    bool ok = qg::generate(src.string(), out.string(), &errs);
    if (!ok) {
      ++refused;
      EXPECT_TRUE(errs.any());
      EXPECT_FALSE(fs::exists(out)) << i;
      for (const qg::Error& e : errs.list) EXPECT_GE(e.at.line, 1) << e.str();
    }
    write(src / v, orig[v]);
  }
  EXPECT_GT(refused, 10);
}

}  // namespace
