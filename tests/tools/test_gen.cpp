// The generator as its users run it: the system applications' sources into
// the bootstrap's input. Bad sources are refused with file:line:column and
// leave the output as it was; the same sources give the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "files/dictenc.h"
#include "files/dictrec.h"
#include "process/pishr.h"
#include "process/pl.h"
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

// A spoiling: the first `from` in the source text rel becomes `to`.
std::function<void(const fs::path&)> replace_in(const char* rel, const char* from, const char* to) {
  return [=](const fs::path& s) {
    std::string p = slurp(s / rel);
    size_t at = p.find(from);
    ASSERT_NE(at, std::string::npos) << rel << ": " << from;
    write(s / rel, p.replace(at, std::strlen(from), to));
  };
}

// Places in the sources as they are (so that the data may change): the line
// `k` lines past the end of a text, and the line holding `text`.
std::string past_end(const char* rel, int k) {
  std::string t = slurp(fs::path(QUVO_DATA_APPS) / rel);
  return std::to_string(std::count(t.begin(), t.end(), '\n') + k);
}
std::string line_of(const char* rel, const char* text, int k = 0) {
  std::string t = slurp(fs::path(QUVO_DATA_APPS) / rel);
  size_t at = t.find(text);
  EXPECT_NE(at, std::string::npos) << rel << ": " << text;
  return std::to_string(std::count(t.begin(), t.begin() + long(std::min(at, t.size())), '\n') + 1 + k);
}

TEST(Gen, RefusesAnUnknownField) {
  expect_refused([](const fs::path& s) { append(s / kAppl, "\nrecord\n  app = 0XX\n  ver = 00\n  colour = red\n"); },
                 std::string(kAppl) + ":" + past_end(kAppl, 5) + ":3: unknown field \"colour\" of APPL");
}

TEST(Gen, RefusesAValueOutOfRangeForItsType) {
  expect_refused([](const fs::path& s) { write(s / "0SA/USER.rec", "records USER\nrecord\n  id = ABC\n  cache_lim = 300\n"); },
                 "0SA/USER.rec:4:15: \"cache_lim\":");
}

TEST(Gen, RefusesABadDate) {
  expect_refused([](const fs::path& s) { append(s / kAppl, "\nrecord\n  app = 0XX\n  ver = 00\n  stamp = 2026-02-30\n"); },
                 std::string(kAppl) + ":" + past_end(kAppl, 5) + ":11: \"stamp\":");
}

TEST(Gen, RefusesAMissingKeyField) {
  expect_refused([](const fs::path& s) { append(s / kAppl, "\nrecord\n  app = 0XX\n"); },
                 std::string(kAppl) + ":" + past_end(kAppl, 2) + ":1: \"ver\" (part of the key of APPL) is missing");
}

TEST(Gen, RefusesADuplicateKey) {
  expect_refused([](const fs::path& s) { append(s / kAppl, "\nrecord\n  app = 0LA\n  ver = 00\n"); },
                 std::string(kAppl) + ":" + past_end(kAppl, 2) + ":1: record: a record with the same key is already in APPL");
  expect_refused([](const fs::path& s) { append(s / "0LA/processes/quvo_menu.proc", "option 2 = ERROR MESSAGE\n"); },
                 "0LA/processes/quvo_menu.proc:" + past_end("0LA/processes/quvo_menu.proc", 1) + ":1: option 2 of image 1: a record with the same key is already in CHILD");
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
                 "0LA/processes/quvo_menu.proc:" + past_end("0LA/processes/quvo_menu.proc", 1) + ":12: option 3 names no process: \"NO SUCH PROCESS\"");
  // an automatic child of the frame likewise
  expect_refused([](const fs::path& s) { append(s / "0LA/processes/quvo_menu.proc", "child 1 = NO SUCH PROCESS\n"); },
                 "0LA/processes/quvo_menu.proc:" + past_end("0LA/processes/quvo_menu.proc", 1) + ":11: child 1 names no process: \"NO SUCH PROCESS\"");
}

TEST(Gen, RefusesANameInTwoApplications) {
  expect_refused([](const fs::path& s) { append(s / "0SA/files.def", "work\n  AI = binary 4\n"); },
                 "0SA/files.def:" + past_end("0SA/files.def", 2) + ":3: field \"AI\" is also in 0LA");
}

TEST(Gen, RefusesAnItemOfAnUnknownField) {
  expect_refused(
      replace_in("0LA/processes/error_message.proc", "ERROR_MSG_TEXT", "ERROR_NO_TEXT"),
      "0LA/processes/error_message.proc:" + line_of("0LA/processes/error_message.proc", "ERROR_MSG_TEXT") + ":11: no field \"ERROR_NO_TEXT\" in the applications' definitions (*.def)");
}

// Values at a field's limits: an unsigned byte takes 255, not 256; a signed
// one -128 to 127; occurrence 3 of 3 is set, 4 (or a number that would wrap
// to a small one) refused at the field's name.
TEST(Gen, RefusesOnePastABinaryMaximumAndAnOccurrence) {
  TmpDir t;
  fs::path src = copy_sources(t.path);
  append(src / "0SA/files.def", "file LIMITS disk\n  LK = alpha 2 key 0\n  LU1 = binary 1\n  LS1 = binary 1 signed\n"
                                "  LU4 = binary 4\n  LM = binary 2 x 3\n");
  const std::string good = "records LIMITS\nrecord\n  LK = a\n  LU1 = 255\n  LS1 = -128\n  LU4 = 4294967295\n"
                           "  LM[3] = 65535\n";
  write(src / "0SA/LIMITS.rec", good);
  qg::Errors errs;
  std::vector<qg::GenFile> made;
  ASSERT_TRUE(qg::generate(src.string(), (t.path / "boot").string(), &errs, &made)) << errs.str();
  auto lim = std::find_if(made.begin(), made.end(), [](const qg::GenFile& g) { return g.name == "LIMITS"; });
  ASSERT_NE(lim, made.end());
  ASSERT_EQ(lim->records.size(), 1u);
  EXPECT_EQ(lim->records[0], (std::vector<uint8_t>{'a', ' ', 0xFF, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF}));
  write(src / "0SA/LIMITS.rec", good + "record\n  LK = b\n  LU1 = 256\n  LS1 = 128\n  LU4 = 4294967296\n  LM[4] = 1\n"
                                       "  LM[4294967299] = 1\n  LM[2x] = 1\n  LM[0] = 1\n");
  EXPECT_FALSE(qg::generate(src.string(), (t.path / "boot").string(), &errs));
  std::string f = (src / "0SA/LIMITS.rec").string();
  EXPECT_EQ(errs.str(), f + ":10:9: \"LU1\": out of range for an unsigned 1-byte binary field: 256\n" +
                        f + ":11:9: \"LS1\": out of range for a signed 1-byte binary field: 128\n" +
                        f + ":12:9: \"LU4\": out of range for an unsigned 4-byte binary field: 4294967296\n" +
                        f + ":13:3: \"LM\" has 3 occurrence(s)\n" +
                        f + ":14:3: \"LM\" has 3 occurrence(s)\n" +
                        f + ":15:3: occurrence numbers are 1, 2 ... (\"LM[2x]\")\n" +
                        f + ":16:3: occurrence numbers are 1, 2 ... (\"LM[0]\")\n");
}

// What a keeper of the data gets wrong: a process type misspelt (said once,
// its menu option not reported as naming no process), a process's own file
// or key field that the dictionary lacks.
TEST(Gen, RefusesAMisspeltProcessTypeOnce) {
  TmpDir t;
  fs::path src = copy_sources(t.path);
  replace_in("0LA/processes/cancel_dynakey.proc", "proc_type = input", "proc_type = inputs")(src);
  QgRun r = quvogen(src, t.path / "boot");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, src.string() + "/0LA/processes/cancel_dynakey.proc:" + line_of("0LA/processes/cancel_dynakey.proc", "proc_type = input") + ":15: \"proc_type\": menu, input, output, "
                                  "action, query, subroutine, update, job, inquiry or status (or its number), not "
                                  "\"inputs\"\n");
}

TEST(Gen, RefusesAProcessFileTheDictionaryLacks) {
  // The lines go after the process's title.
  const char* title = "title     = Error message";
  auto spoil = [=](std::string more) {
    return [=](const fs::path& s) {
      std::string p = slurp(s / "0LA/processes/error_message.proc");
      size_t at = p.find(title);
      ASSERT_NE(at, std::string::npos);
      write(s / "0LA/processes/error_message.proc", p.insert(at + std::strlen(title), more));
    };
  };
  auto at = [&](int k) {
    return "0LA/processes/error_message.proc:" + line_of("0LA/processes/error_message.proc", title, k);
  };
  expect_refused(spoil("\n  pcf_file  = ERRORS"), at(1) + ":15: \"pcf_file\": no file ERRORS is defined in 0LA");
  expect_refused(spoil("\n  pcf_app   = 0SA\n  pcf_file  = ERROR"),
                 at(2) + ":15: \"pcf_file\": no file ERROR is defined in 0SA");
  expect_refused(spoil("\n  pcf_file  = ERROR\n  pcf_key   = ERROR_NO_TEXT"),
                 at(2) + ":15: \"pcf_key\": ERROR has no field \"ERROR_NO_TEXT\"");
}

// A look-up names a file and one of its fields that the sources define.
TEST(Gen, RefusesALookupTheSourcesLack) {
  for (std::string ref : {"0SA/NOFILE/AI", "0LA/STDHSUB/NO FIELD", "0XX/ERROR/AI"}) {
    const std::string want = ref[1] == 'X' ? "no application 0XX among the sources"
                             : ref[4] == 'N' ? "no file NOFILE is defined in 0SA"
                                             : "STDHSUB has no field \"NO FIELD\"";
    expect_refused([&](const fs::path& s) { append(s / "0SA/files.def", "file LOOKS disk\n  LK = binary 2 lookup \"" + ref + "\"\n"); },
                   "0SA/files.def:" + past_end("0SA/files.def", 2) + ":24: \"lookup\": " + want);
  }
}

// An image refused (its number out of range) takes its items, options and
// characteristics with it, quietly: they are not placed on another image.
TEST(Gen, RefusesAnImageWithItsItems) {
  expect_refused(
      replace_in("0LA/processes/error_message.proc", "image 1", "image 0"),
      "0LA/processes/error_message.proc:" + line_of("0LA/processes/error_message.proc", "image 1") + ":7: a number 1-255 expected\n");
}

// A text whose suffix is misspelt would be left out unseen: it is refused
// by name. Editors' backups and hidden files are passed over.
TEST(Gen, RefusesAFileThatIsNoText) {
  expect_refused([](const fs::path& s) { fs::copy_file(s / "0SA/APPL.rec", s / "0SA/USER.recs"); },
                 "0SA/USER.recs: neither a .def, .rec, .proc nor .stmt text");
  TmpDir t;
  fs::path src = copy_sources(t.path);
  write(src / "0SA/APPL.rec~", "old text");
  write(src / "0LA/.notes.proc.swp", "editor state");
  QgRun r = quvogen(src, t.path / "boot");
  EXPECT_EQ(r.status, 0) << r.err;
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
  // what a killed run left beside it, but not the work of a run still going
  // (this test's own process stands for one) nor a name not of a run.
  write(t.path / "one" / "stale", "x");
  write(t.path / "one.tmp-99999" / "half", "x");
  std::string live = "one.tmp-" + std::to_string(getpid());
  write(t.path / live / "half", "x");
  write(t.path / "one.old-mine" / "keep", "x");
  ASSERT_EQ(quvogen(QUVO_DATA_APPS, t.path / "one").status, 0);
  EXPECT_EQ(tree(t.path / "one"), two);
  EXPECT_FALSE(fs::exists(t.path / "one.tmp-99999"));
  EXPECT_TRUE(fs::exists(t.path / live / "half"));
  EXPECT_TRUE(fs::exists(t.path / "one.old-mine" / "keep"));
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
  // PDF4: ERRORS, WARNINGS (u32) first; OPTION (u16 at 36, initial 65535).
  const qg::GenFile* pdf4 = find(made, "PDF4");
  ASSERT_NE(pdf4, nullptr);
  EXPECT_EQ(pdf4->app, "0LA");
  EXPECT_EQ(pdf4->fclass, 2);
  ASSERT_EQ(pdf4->init.size(), sizeof(PdStatus));
  EXPECT_EQ(std::vector<uint8_t>(pdf4->init.begin(), pdf4->init.begin() + 8), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(rec::view<PdStatus>(const_cast<uint8_t*>(pdf4->init.data())).option.get(), 65535);
  EXPECT_EQ(std::vector<uint8_t>(pdf4->null.begin(), pdf4->null.begin() + 8), std::vector<uint8_t>(8, 0));
  // PDF2: CANCEL OK "1", OPERATIONAL PHASE 1, the call result word at byte 4.
  const qg::GenFile* pdf2 = find(made, "PDF2");
  ASSERT_NE(pdf2, nullptr);
  ASSERT_EQ(pdf2->init.size(), sizeof(PdArea3));
  EXPECT_EQ(pdf2->init[0], '1');
  EXPECT_EQ(pdf2->init[1], 1);
  EXPECT_EQ(pdf2->null[0], ' ');
  // PDF5: DATABASE OPTIONS (3) starts at 2, DESIGN ACCESS (15) at 0.
  const qg::GenFile* pdf5 = find(made, "PDF5");
  ASSERT_NE(pdf5, nullptr);
  ASSERT_EQ(pdf5->init.size(), sizeof(PdArea9));
  EXPECT_EQ(pdf5->init[3], 2);
  EXPECT_EQ(pdf5->init[15], 0);

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
  // bytes 37-39, one alpha segment as the catalogue has it: a synonym of
  // the piece over the two fields there
  const DElem* seg = element("CHILD K0S6");
  ASSERT_NE(seg, nullptr);
  EXPECT_EQ(seg->kind, 5);
  EXPECT_EQ(std::string(seg->domain.view()).substr(0, 9), "CHILD P37");
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
// A saved module file is named by its process's definition stamp: every
// process generated (the system applications' and a test application's)
// has a stamp, and so a file name, of its own; none is all ones.
TEST(Gen, EveryProcessHasAStampAndASavedModuleNameOfItsOwn) {
  TmpDir t;
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, QUVO_TEST_DIR "/tools/apps"}, (t.path / "boot").string(), &errs, &made)) << errs.str();
  const qg::GenFile* proc = find(made, "PROCESS");
  ASSERT_NE(proc, nullptr);
  ASSERT_GE(proc->records.size(), 4u);
  std::set<std::string> names;
  for (const auto& r : proc->records) {
    const DProc& d = rec::view<DProc>(r.data());
    uint32_t st[2] = {rec::view<rec::U32>(d.added.b).get(), rec::view<rec::U32>(d.added.b + 4).get()};
    EXPECT_FALSE(st[0] == 0xFFFFFFFFu && st[1] == 0xFFFFFFFFu) << d.proc_name.str();
    EXPECT_EQ(std::memcmp(d.added.b, d.changed.b, 8), 0) << d.proc_name.str();
    char n[9] = {};
    pl_gen_nam(0, st, n);
    EXPECT_TRUE(names.insert(n).second) << d.proc_name.str() << " shares the saved-module name " << n;
  }
  // The same process is given the same stamp by every generation.
  EXPECT_EQ(dict_proc_stamp(1, "QUVO MENU"), dict_proc_stamp(1, "QUVO MENU"));
  EXPECT_NE(dict_proc_stamp(1, "QUVO MENU"), dict_proc_stamp(6, "QUVO MENU"));
}

// The predefined fields: every field of the "0LA" files PDF0, PDF2-PDF7 as
// the generated ELEMENT and FILE records give it (name, offset, length,
// data type, occurrences, record length) is the field of the engine's data
// area record of that file, in the same order, and nothing else is.
TEST(Gen, PredefinedFieldFilesAreTheEnginesDataAreaRecords) {
  TmpDir t;
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(QUVO_DATA_APPS, (t.path / "boot").string(), &errs, &made)) << errs.str();
  const qg::GenFile* elem = find(made, "ELEMENT");
  ASSERT_NE(elem, nullptr);
  std::set<std::string> pdfs;
  for (const auto& r : elem->records) {
    const DElem& e = rec::view<DElem>(const_cast<uint8_t*>(r.data()));
    std::string f = e.file.str();
    if (f.rfind("PDF", 0) == 0) pdfs.insert(f);
  }
  EXPECT_EQ(pdfs, (std::set<std::string>{"PDF0", "PDF2", "PDF3", "PDF4", "PDF5", "PDF6", "PDF7"}));
  auto trim = [](std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };
  for (const PdFile& pf : kPdFiles) {
    SCOPED_TRACE(pf.file);
    const qg::GenFile* g = find(made, pf.file);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->app, "0LA");
    EXPECT_EQ(g->rec_len, pf.size);
    std::vector<const DElem*> fields;
    for (const auto& r : elem->records) {
      const DElem& e = rec::view<DElem>(const_cast<uint8_t*>(r.data()));
      if (trim(e.file.str()) == pf.file) fields.push_back(&e);
    }
    std::sort(fields.begin(), fields.end(),
              [](const DElem* a, const DElem* b) { return a->offset.get() < b->offset.get(); });
    ASSERT_EQ(int(fields.size()), pf.count);
    for (int i = 0; i < pf.count; ++i) {
      const DictField& want = pf.fields[i];
      const DElem& e = *fields[size_t(i)];
      SCOPED_TRACE(want.name);
      EXPECT_EQ(trim(e.name.str()), want.name);
      EXPECT_EQ(e.offset.get(), want.offset);
      EXPECT_EQ(e.length.get(), want.width);
      EXPECT_EQ(int(e.type), int(want.type));
      EXPECT_EQ(std::max<int>(e.occurs.get(), 1), int(want.occurs));
    }
  }
}

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

// A field's mask gives what the dictionary compiler makes of it (its
// digits, decimals and sign; an alpha mask its length): a mask that
// disagrees with the field's form is refused at its line, and nothing is
// written. A mask narrower than its number is not a disagreement.
TEST(Gen, MasksThatDisagreeWithTheirFieldAreRefusedAtTheirLine) {
  TmpDir t;
  write(t.path / "app/XMA/files.def",
        "application\n  title = Masks\n  databases = XMD\n\n"
        "file XMF disk\n"
        "  XM KEY = alpha 4 key 0\n"
        "  XM WIDE = packed 2 decimals 2 mask \"9999.99\"\n"      // line 7: 4 digits in a 1-digit field
        "  XM DECS = packed 6 decimals 2 mask \"ZZ9.9\"\n"        // 8: one decimal
        "  XM SIGN = packed 6 signed decimals 2 mask \"ZZ9.99\"\n"  // 9: no sign
        "  XM OK = packed 6 signed decimals 2 mask \"ZZ,ZZ9.99-\"\n");
  auto refused = [&]() {
    qg::Errors errs;
    EXPECT_FALSE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, (t.path / "app").string()},
                              (t.path / "out").string(), &errs));
    EXPECT_FALSE(fs::exists(t.path / "out"));
    std::set<int> lines;
    for (const qg::Error& e : errs.list) lines.insert(e.at.line);
    return lines;
  };
  EXPECT_EQ(refused(), (std::set<int>{7, 8, 9}));
  write(t.path / "app/XMA/files.def",
        "application\n  title = Masks\n  databases = XMD\n\n"
        "file XMF disk\n"
        "  XM KEY = alpha 4 key 0\n"
        "  XM CODE = alpha 3 mask \"##\"\n");  // two characters for 3 bytes
  EXPECT_EQ(refused(), (std::set<int>{7}));
}

// A field's "stamp S" puts it in slot S of its file through the special
// usage the dictionary compiler gives that slot for the field's kind: the
// user stamps (0, 1) take text, the dates (4, 5) dates; a slot its kind
// cannot take is refused at its line.
TEST(Gen, AStampSlotTakesAFieldOfItsKind) {
  TmpDir t;
  auto gen = [&](const std::string& fields, std::vector<qg::GenFile>* made, qg::Errors* errs) {
    write(t.path / "app/XSA/files.def", "application\n  title = Stamps\n  databases = XSD\n\n"
                                        "file XSF disk\n  XS KEY = alpha 4 key 0\n" + fields);
    return qg::generate(std::vector<std::string>{QUVO_DATA_APPS, (t.path / "app").string()},
                        (t.path / "out").string(), errs, made);
  };
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  ASSERT_TRUE(gen("  XS USER = alpha 3 stamp 1\n  XS WHEN = date-binary mask \"0807-06-05\" stamp 5\n", &made, &errs))
      << errs.str();
  const qg::GenFile* fi = find(made, "FILE");
  ASSERT_NE(fi, nullptr);
  const DFile* xsf = nullptr;
  for (const auto& r : fi->records)
    if (std::string(rec::view<DFile>(r.data()).name.view()) == "XSF     ") xsf = &rec::view<DFile>(r.data());
  ASSERT_NE(xsf, nullptr);
  const qg::GenFile* el = find(made, "ELEMENT");
  std::map<std::string, uint32_t> no;
  for (const auto& r : el->records) no[std::string(rec::view<DElem>(r.data()).name.view()).substr(0, 7)] =
      rec::view<DElem>(r.data()).number;
  EXPECT_EQ(xsf->usage[1], no["XS USER"]);
  EXPECT_EQ(xsf->usage[5], no["XS WHEN"]);
  EXPECT_NE(xsf->usage[1], 0u);
  qg::Errors bad;
  EXPECT_FALSE(gen("  XS NOTE = alpha 4\n  XS N = binary 2 stamp 6\n", nullptr, &bad));
  ASSERT_EQ(bad.list.size(), 1u) << bad.str();
  EXPECT_EQ(bad.list[0].at.line, 8);
}

// Every header argument of the processes spoilt in turn (numbers out of
// range, not numbers, missing): each run is refused with a place, or
// generates; none crashes.
TEST(Gen, SpoiledHeaderArgumentsAreRefusedWithAPlace) {
  TmpDir t;
  fs::path src = copy_sources(t.path);
  const char* bad[] = {"0", "256", "x", "-1", "99999999999", ""};
  int runs = 0;
  for (const char* v : {"0LA/processes/quvo_menu.proc", "0LA/processes/em_build_errors.proc"}) {
    const std::string orig = slurp(src / v);
    for (size_t at = 0; at < orig.size(); at = orig.find('\n', at) + 1) {
      size_t eol = orig.find('\n', at);
      std::string line = orig.substr(at, eol - at);
      size_t sp = line.find(' ');
      std::string kw = line.substr(0, sp);
      if (sp == std::string::npos || (kw != "frame" && kw != "image" && kw != "item" && kw != "chr" && kw != "option"))
        continue;
      size_t end = line.find(' ', sp + 1);
      for (const char* b : bad) {
        std::string s = orig;
        s.replace(at + sp + 1, (end == std::string::npos ? line.size() : end) - sp - 1, b);
        write(src / v, s);
        qg::Errors errs;
        fs::path out = t.path / ("out" + std::to_string(runs++));
        if (!qg::generate(src.string(), out.string(), &errs)) {
          EXPECT_FALSE(fs::exists(out));
          for (const qg::Error& e : errs.list) EXPECT_GE(e.at.line, 1) << e.str();
        }
      }
      write(src / v, orig);
    }
  }
  EXPECT_GT(runs, 30);
}

}  // namespace
