// The module loader and cache, build_em and the saved module files: names,
// the constructor, the sub-file builders, cache hits, saving and loading in
// a fresh engine, the format mark and version, stamps-only changes, use
// counts, modules held across a dictionary change, eviction and damaged
// files.
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "files/fmkept.h"
#include "foundation/os.h"
#include "foundation/ssunix.h"
#include "process/pl_fixture.h"
#include "process/plint.h"
#include "support/child_test.h"
#include "support/syserr.h"

using namespace pltest;

namespace {

class Pl : public ::testing::Test {
 protected:
  Engine e;
  void SetUp() override {
    descs().clear();
    compiles() = 0;
    e.start();
    e.dictionary();
    descs()["P1"] = Desc{{7, 11, 13}, {1000, 2000}, {}, false};
  }
  void TearDown() override {
    e.stop();
    descs().clear();
  }
  void define(const std::vector<fx::Rec>& recs) { ASSERT_EQ(fx::write("PROCESS", "ABC", "00", recs), int(recs.size())); }
  static bool exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
  }
  static ino_t inode(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
  }
  // Gets process `name`'s module (compiling or loading it) and gives it back.
  void get_release(const char* name = "P1") {
    Pcb* p = e.pcb(name);
    ASSERT_EQ(pl_get(p, 1), 1) << name;
    pl_release(p);
  }
  // A fresh engine over the same directory (the cache empty).
  void restart() {
    e.stop(false);
    compiles() = 0;
    e.start(false);
  }
  std::vector<uint8_t> read_file(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  void write_file(const std::string& p, const std::vector<uint8_t>& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
  }
};

// ------------------------------------------------------------ names --
TEST(PlName, StampWordsGiveTheEightCharacterName) {
  char n[9] = {};
  uint32_t s00[2] = {0, 0}, s10[2] = {1, 0}, s310[2] = {31, 0}, s01[2] = {0, 1};
  EXPECT_EQ(pl_gen_nam(0, s00, n), 1);
  EXPECT_STREQ(n, "BBBBBBBB");
  pl_gen_nam(0, s10, n);
  EXPECT_STREQ(n, "CBBBBBBB");
  pl_gen_nam(0, s310, n);
  EXPECT_STREQ(n, "BCBBBBBB");
  pl_gen_nam(0, s01, n);
  EXPECT_STREQ(n, "BBCBBBBB");
  // The day wraps at 36,500; the hundredths reach the sixth digit.
  uint32_t s_wrap[2] = {36501, 8639999};
  char m[9] = {};
  pl_gen_nam(0, s_wrap, m);
  uint32_t s_one[2] = {1, 8639999};
  pl_gen_nam(0, s_one, n);
  EXPECT_STREQ(m, n);
}

// --------------------------------------------------------- build_em --
TEST_F(Pl, BuildEmFillsTheHeaderAndMarksTheModule) {
  define({proc_rec("P1", 4, "0"), proc_rec("P3", 3, "1"), proc_rec("P9", 9, "1")});
  descs()["P3"] = descs()["P1"];
  descs()["P9"] = descs()["P1"];
  Pcb* p = e.pcb("P1");
  auto d1 = proc_rec("P1", 4, "0");
  ASSERT_EQ(build_em(&rec::view<DProc>(d1.data()), p, 1), 1);
  EmHeader* em = p->module.get();
  EXPECT_EQ(em->mark, kEmMark);
  EXPECT_EQ(em->b1[0], kEmFormat);
  EXPECT_EQ(em->use_count, 1u);
  EXPECT_EQ(em->saved, 0);  // definition byte 70 '0'
  EXPECT_EQ(em->retention, 50);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(em->title.b), 60), "T P1" + std::string(56, ' '));
  pl_release(p);
  // An Output process keeps its own 60-character title.
  auto d3 = proc_rec("P3", 3, "1");
  rec::view<DProc>(d3.data()).title60.set("REPORT TITLE");
  Pcb* p3 = e.pcb("P3", 2, 3);
  ASSERT_EQ(build_em(&rec::view<DProc>(d3.data()), p3, 1), 1);
  EXPECT_EQ(p3->module->saved, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p3->module->title.b), 12), "REPORT TITLE");
  pl_release(p3);
  // So does an Inquiry process, all 60 characters of it.
  auto d9 = proc_rec("P9", 9, "1");
  std::string title9 = "INQUIRY TITLE" + std::string(40, '.') + "LAST 7";
  ASSERT_EQ(title9.size(), 59u);
  title9 += "Z";
  std::memcpy(rec::view<DProc>(d9.data()).title60.data(), title9.data(), 60);
  Pcb* p9 = e.pcb("P9", 2, 9);
  ASSERT_EQ(build_em(&rec::view<DProc>(d9.data()), p9, 1), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p9->module->title.b), 60), title9);
  pl_release(p9);
}

TEST_F(Pl, BuildEmWithoutApplicationRecordOrCompiler) {
  auto d = proc_rec("RESTRUCTURE");
  descs()["RESTRUCTURE"] = descs()["P1"];
  // No APPL record of "0DN": only RESTRUCTURE builds.
  Pcb* r = e.pcb("RESTRUCTURE");
  r->invoc.app.set("0DN");
  ASSERT_EQ(build_em(&rec::view<DProc>(d.data()), r, 1), 1);
  pl_release(r);
  Pcb* x = e.pcb("P1");
  x->invoc.app.set("XYZ");
  EXPECT_EQ(build_em(&rec::view<DProc>(d.data()), x, 1), 0);
  EXPECT_EQ(x->module.get(), nullptr);
  // Without a compiler a build fails as a compile does.
  em_set_compiler(nullptr);
  Pcb* p = e.pcb("P1");
  auto d1 = proc_rec("P1");
  EXPECT_EQ(build_em(&rec::view<DProc>(d1.data()), p, 1), 0);
  EXPECT_EQ(p->invoc.completion, 200140);
  EXPECT_EQ(p->module.get(), nullptr);
}

TEST_F(Pl, EverySubFileBuilderMakesItsFileAndARecordRoundTrips) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(e.pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(e.pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  auto* in = static_cast<uint8_t*>(MM_ALLOC(e.pool, FM_MAX_REC + 1));
  auto* out = static_cast<uint8_t*>(MM_ALLOC(e.pool, FM_MAX_REC + 1));
  int made = 0;
  auto check = [&](const char* label, FmFdb& f) {
    SCOPED_TRACE(label);
    ASSERT_EQ(FM_CREATE(&f, 0, 0, 0, 15, 15), 1) << f.status;
    FmArb* a = f.handle.get();
    size_t len = f.var ? 3 : f.rec_len.get();
    for (size_t i = 0; i < len; ++i) in[i] = uint8_t(i * 7 + 1);
    PROTO_FULL(a, 0, in);
    a->rec_len = uint16_t(f.var ? len : 0);
    ASSERT_EQ(fm_write(a), 1) << a->status;
    PROTO_FULL(a, 0, out);
    a->rec_len = FM_MAX_REC;
    a->op = FM_OP_FIRST;
    ASSERT_EQ(fm_start(a), 1);
    a->op = 0;
    ASSERT_EQ(fm_rdnxt(a), 1);
    EXPECT_EQ(a->len_read, len);
    EXPECT_EQ(std::memcmp(in, out, len), 0);
    FM_CLOSE(a, FM_CL_SCRATCH);
    ++made;
  };
  for (const EmSub& s : em_subs) {
    if (!s.code) continue;
    FmFdb f;
    em_sub_fdb(s, &f, kdb, sdb);
    check(s.label, f);
  }
  FmFdb c;
  em_cache_fdb(&c, kdb, sdb);
  check("CA", c);
  FmFdb lf;
  em_dlf_fdb(&lf, kdb, sdb);
  check("LF", lf);
  EXPECT_EQ(made, 25);  // the 24 builders and INST
}

// ------------------------------------------------------------ cache --
TEST_F(Pl, FirstGetCompilesSavesBothFilesAndACacheHitReadsNothing) {
  define({proc_rec("P1")});
  std::string nm = stamp_name();
  Pcb* p = e.pcb("P1");
  ASSERT_EQ(pl_get(p, 1), 1);
  EXPECT_EQ(compiles(), 1);
  // A first save without old files writes both.
  EXPECT_TRUE(exists(e.mod_path(nm.c_str())));
  EXPECT_TRUE(exists(e.dbg_path(nm.c_str())));
  EXPECT_EQ(Engine::run(p), expected(descs()["P1"]));
  // A hit: 202, no compile, no saved file read (it is gone).
  std::filesystem::remove(e.mod_path(nm.c_str()));
  Pcb* q = e.pcb("P1");
  ASSERT_EQ(pl_get(q, 1), 1);
  EXPECT_EQ(q->invoc.completion, 202);
  EXPECT_EQ(compiles(), 1);
  EXPECT_EQ(q->module.get(), p->module.get());
  EXPECT_EQ(p->module->use_count, 2u);
  EXPECT_EQ(Engine::run(q), expected(descs()["P1"]));
  pl_release(p);
  pl_release(q);
  EXPECT_EQ(pl_cache_count(), 1u);
  EXPECT_EQ(pl_cache_records(), 1u);
}

TEST_F(Pl, ASavedModuleLoadsInAFreshEngineWithoutCompiling) {
  define({proc_rec("P1")});
  Pcb* p = e.pcb("P1");
  ASSERT_EQ(pl_get(p, 1), 1);
  uint32_t want = Engine::run(p);
  pl_release(p);
  restart();
  Pcb* q = e.pcb("P1");
  ASSERT_EQ(pl_get(q, 1), 1);
  EXPECT_EQ(compiles(), 0);
  EXPECT_EQ(q->invoc.completion, 0);
  // The compile's handle in CAP was never saved; the token handles start empty.
  EmCap cap;
  FmArb* c = q->module->cap.get();
  PROTO_FULL(c, 0, reinterpret_cast<uint8_t*>(MM_ALLOC(e.pool, sizeof cap)));
  c->op = FM_OP_FIRST;
  fm_start(c);
  c->op = 0;
  ASSERT_EQ(fm_rdnxt(c), 1);
  std::memcpy(&cap, c->rec.get(), sizeof cap);
  EXPECT_EQ(cap.src[0].get(), 0u);
  EXPECT_EQ(Engine::run(q), want);
  pl_release(q);
}

TEST_F(Pl, AModuleInAnotherLanguageIsSavedUnderThatLanguage) {
  define({proc_rec("P1")});
  // PARAM's language: ENG.
  auto prm = fx::param("MENU");
  rec::view<DParam>(prm.data()).dict_lang.set("ENG");
  ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb*, FmSdb*) { INIT_DPARM_FDB(f, "ABC", "00"); }, prm));
  std::string nm = stamp_name();
  Pcb* fr = e.pcb("P1", 2, 4, "FRE");
  ASSERT_EQ(pl_get(fr, 1), 1);
  EXPECT_TRUE(exists(e.mod_path(nm.c_str(), "FRE")));
  Pcb* en = e.pcb("P1", 2, 4, "ENG");
  ASSERT_EQ(pl_get(en, 1), 1);
  EXPECT_NE(en->module.get(), fr->module.get());
  EXPECT_TRUE(exists(e.mod_path(nm.c_str())));
  pl_release(fr);
  pl_release(en);
}

// Two processes whose definitions carry one stamp name one saved file: the
// second never runs the first's module, and the first's file stays its own.
TEST_F(Pl, AProcessNeverLoadsOrOverwritesTheSavedModuleOfAnotherProcessOfItsStamp) {
  descs()["P2"] = Desc{{5, 3}, {40}, {}, false};
  ASSERT_NE(expected(descs()["P1"]), expected(descs()["P2"]));
  define({proc_rec("P1"), proc_rec("P2")});
  std::string nm = stamp_name();
  get_release();
  ASSERT_TRUE(exists(e.mod_path(nm.c_str())));
  std::vector<uint8_t> first = read_file(e.mod_path(nm.c_str()));
  restart();
  // P2 finds P1's module under its name: refused, compiled, run as P2.
  Pcb* q = e.pcb("P2");
  ASSERT_EQ(pl_get(q, 1), 1);
  EXPECT_EQ(compiles(), 1);
  EXPECT_EQ(q->module->proc_name.str(), "P2");
  EXPECT_EQ(Engine::run(q), expected(descs()["P2"]));
  pl_release(q);
  // The file is P1's, untouched, and still loads for P1 without a compile.
  EXPECT_EQ(read_file(e.mod_path(nm.c_str())), first);
  // Nor is it P2's to scratch.
  uint32_t st = 0;
  EXPECT_EQ(pl_scratch(0, "ABC", "00", 4, "P2", &st), 0);
  EXPECT_TRUE(exists(e.mod_path(nm.c_str())));
  restart();
  Pcb* r = e.pcb("P1");
  ASSERT_EQ(pl_get(r, 1), 1);
  EXPECT_EQ(compiles(), 0);
  EXPECT_EQ(Engine::run(r), expected(descs()["P1"]));
  pl_release(r);
}

// ------------------------------------------------------ saved files --
// A saved header of another mark or version, or holding process defaults
// that no compile writes (a flag other than '1', '0' or blank, in each of
// the three; the mode 255 or a blank), is deleted and the process
// compiled, sealed as it is and writable by its owner alone (as a save
// leaves it: a file others may write is refused before it is read).
TEST_F(Pl, AWrongMarkOrVersionOrDefaultIsDeletedAndCompiled) {
  define({proc_rec("P1")});
  std::string nm = stamp_name();
  get_release();
  for (int which = 0; which < 7; ++which) {
    SCOPED_TRACE(which);
    restart();
    // Copy the saved file with another mark (or version), sealed anew.
    FmFdb src, dst;
    for (FmFdb* f : {&src, &dst}) {
      INIT_FDB(f, FM_CLASS_DISK, FM_MAX_REC, 1, nullptr, 0);
      f->options = FM_OPT_NO_SYSDIR;
      f->stamp[0] = f->stamp[1] = 0xFFFFFFFFu;
    }
    INIT_DB_PATH(&src, "   ", "ABC", "00", nm.c_str(), FM_PT_MOD);
    INIT_DB_PATH(&dst, "   ", "ABC", "00", "XCOPY", FM_PT_MOD);
    ASSERT_EQ(FM_OPEN(&src, 0, FM_OPT_NO_SYSDIR, 1, 15), 1);
    ASSERT_EQ(FM_CREATE(&dst, 0, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
    FmArb* s = src.handle.get();
    FmArb* d = dst.handle.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(e.pool, FM_MAX_REC + 1));
    s->rec.set(buf);
    s->rec_len = FM_MAX_REC;
    std::vector<std::vector<uint8_t>> recs;
    while (fm_rdnxt(s)) recs.emplace_back(buf, buf + s->len_read);
    recs.pop_back();  // the old checksum record
    auto& h = rec::view<EmHeader>(recs[0].data());
    if (which == 0) h.mark = uint8_t('X');
    if (which == 1) h.b1[0] = uint8_t(kEmFormat + 1);
    if (which == 2) h.dflt_exact_key[0] = 'Y';
    if (which == 3) h.dflt_mode = 255;
    if (which == 4) h.dflt_mode = ' ';
    if (which == 5) h.dflt_auto_rdnxt[0] = '2';
    if (which == 6) h.dflt_cancel_ok[0] = 0;
    for (auto& r : recs) {
      std::memcpy(buf, r.data(), r.size());
      d->rec.set(buf);
      d->rec_len = uint16_t(r.size());
      ASSERT_EQ(fm_write(d), 1);
    }
    ASSERT_EQ(pl_seal(d), 1);
    FM_CLOSE(s, 0);
    FM_CLOSE(d, FM_CL_KEEP);
    ASSERT_EQ(fm_replace(&src, &dst, 0), 1) << src.status;
    ASSERT_EQ(chmod(e.mod_path(nm.c_str()).c_str(), 0640), 0);
    Pcb* q = e.pcb("P1");
    ASSERT_EQ(pl_get(q, 1), 1);
    EXPECT_EQ(compiles(), 1);
    EXPECT_EQ(Engine::run(q), expected(descs()["P1"]));
    pl_release(q);
    // The new save is good again.
    restart();
    get_release();
    EXPECT_EQ(compiles(), 0);
  }
}

// The process's defaults as the compile keeps them, at each bound, and the
// same again from the saved module in a fresh engine.
TEST_F(Pl, TheProcessDefaultsAreKeptAndComeBackFromTheSavedModule) {
  struct Case {
    const char *arn, *exact, *cancel, *mode;
    std::string want;  // AUTO READNEXT, EXACT KEY REQUIRED, CANCEL OK
    int want_mode;
  };
  const Case cases[] = {{"1", "0", "", "1", "10 ", 1},    {"0", "1", "1", "254", "011", 254},
                        {"", "", "0", "255", "  0", 0},   {"Y", "2", "x", "0", "   ", 0},
                        {"", "", "", "32", "   ", 0},     {"1", "1", "0", "33", "110", 33}};
  define({proc_rec("P1")});
  int day = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    auto r = proc_rec("P1", 4, "1", 50, "2026-01-" + std::to_string(10 + day++) + "T00:00:00");
    auto& d = rec::view<DProc>(r.data());
    d.auto_readnext.set(c.arn);
    d.exact_key.set(c.exact);
    d.cancel_ok.set(c.cancel);
    d.default_mode = uint8_t(std::stoi(c.mode));
    ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DPROC_FDB(f, k, s, "ABC", "00"); }, r));
    for (int loaded = 0; loaded < 2; ++loaded) {
      restart();
      Pcb* p = e.pcb("P1");
      ASSERT_EQ(pl_get(p, 1), 1);
      EXPECT_EQ(compiles(), 1 - loaded);
      const EmHeader* em = p->module.get();
      std::string got{em->dflt_auto_rdnxt[0], em->dflt_exact_key[0], em->dflt_cancel_ok[0]};
      EXPECT_EQ(got, c.want);
      EXPECT_EQ(int(em->dflt_mode), c.want_mode);
      pl_release(p);
    }
  }
}

TEST_F(Pl, DamagedSavedFilesAreDeletedAndCompiledNeverRun) {
  define({proc_rec("P1")});
  std::string nm = stamp_name();
  std::string path = e.mod_path(nm.c_str());
  get_release();
  std::vector<uint8_t> good = read_file(path);
  ASSERT_GT(good.size(), 2000u);
  std::vector<std::pair<std::string, std::vector<uint8_t>>> cases;
  for (size_t cut : {size_t(0), size_t(20), size_t(40), size_t(1000), good.size() / 2, good.size() - 1,
                     good.size() - 20})
    cases.push_back({"cut at " + std::to_string(cut), std::vector<uint8_t>(good.begin(), good.begin() + long(cut))});
  cases.push_back({"zero-filled", std::vector<uint8_t>(good.size(), 0)});
  for (size_t at : {size_t(40), size_t(300), size_t(1400), good.size() / 2, good.size() - 30, good.size() - 3}) {
    auto b = good;
    b[at] ^= 0x10;
    cases.push_back({"bit flipped at " + std::to_string(at), b});
  }
  for (auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    restart();
    write_file(path, bytes);
    Pcb* q = e.pcb("P1");
    ASSERT_EQ(pl_get(q, 1), 1);
    EXPECT_EQ(compiles(), 1);
    EXPECT_EQ(Engine::run(q), expected(descs()["P1"]));
    pl_release(q);
    EXPECT_EQ(read_file(path).size(), good.size());  // saved again whole
  }
}

TEST_F(Pl, AStampsOnlyChangeIsLoadedUsedAndSavedAgainDebugFileUntouched) {
  define({proc_rec("P1")});
  std::string nm = stamp_name();
  get_release();
  ino_t mod_before = inode(e.mod_path(nm.c_str())), dbg_before = inode(e.dbg_path(nm.c_str()));
  restart();
  auto ap = fx::appl("ABC", "00");
  rec::view<DAppl>(ap.data()).stamp.b[0] ^= 1;
  ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DAP_FDB(f, k, s); }, ap));
  Pcb* q = e.pcb("P1");
  ASSERT_EQ(pl_get(q, 1), 1);
  EXPECT_EQ(compiles(), 0);
  EXPECT_EQ(Engine::run(q), expected(descs()["P1"]));
  pl_release(q);
  EXPECT_NE(inode(e.mod_path(nm.c_str())), mod_before);  // saved again
  EXPECT_EQ(inode(e.dbg_path(nm.c_str())), dbg_before);  // untouched
  // The refreshed file needs no refresh again.
  ino_t mod_after = inode(e.mod_path(nm.c_str()));
  restart();
  get_release();
  EXPECT_EQ(compiles(), 0);
  EXPECT_EQ(inode(e.mod_path(nm.c_str())), mod_after);
}

TEST_F(Pl, ANeverSavedProcessCompilesEachTimeItIsNotCached) {
  define({proc_rec("P1", 4, "0")});
  get_release();
  EXPECT_FALSE(exists(e.mod_path(stamp_name().c_str())));
  restart();
  get_release();
  EXPECT_EQ(compiles(), 1);
}

// -------------------------------------------------------- use counts --
TEST_F(Pl, UseCountsReturnToZeroOnEveryPath) {
  define({proc_rec("P1"), proc_rec("BAD", 4, "1", 50, "2026-03-03T00:00:00", "2026-03-03T00:00:00")});
  descs()["BAD"] = Desc{{1}, {}, {}, true};
  Pcb* a = e.pcb("P1");
  Pcb* b = e.pcb("P1");
  ASSERT_EQ(pl_get(a, 1), 1);
  ASSERT_EQ(pl_get(b, 1), 1);
  EmHeader* em = a->module.get();
  EXPECT_EQ(em->use_count, 2u);
  // A refused run gives its hold back (the runner's release).
  pl_release(b);
  EXPECT_EQ(em->use_count, 1u);
  pl_release(a);
  EXPECT_EQ(em->use_count, 0u);
  EXPECT_EQ(a->module.get(), nullptr);
  // A failed compile holds nothing.
  Pcb* c = e.pcb("BAD");
  EXPECT_EQ(pl_get(c, 1), 0);
  EXPECT_EQ(c->invoc.completion, 200140);
  EXPECT_EQ(c->module.get(), nullptr);
  // pl_bld: got, released and dropped from the cache; 7 for a cached one.
  EXPECT_EQ(pl_bld(0, "ABC", "00", 4, "P1", '1'), 7);
  pl_flush();
  EXPECT_EQ(pl_cache_count(), 0u);
  EXPECT_EQ(pl_bld(0, "ABC", "00", 4, "P1", '1'), 1);
  EXPECT_EQ(pl_cache_count(), 0u);
  EXPECT_EQ(pl_cache_records(), 0u);
}

TEST_F(Pl, AModuleHeldByARelatedRunSurvivesADictionaryChangeAndIsFreedAfter) {
  define({proc_rec("P1")});
  Pcb* old_run = e.pcb("P1", 1);
  ASSERT_EQ(pl_get(old_run, 1), 1);
  EmHeader* old_em = old_run->module.get();
  pl_spares_release();
  size_t files = fm_memfile_count();
  // The definition changes while the RELATED run holds its module.
  ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DPROC_FDB(f, k, s, "ABC", "00"); },
                      proc_rec("P1", 4, "1", 50, "2026-02-02T00:00:00")));
  descs()["P1"].values.push_back(99);
  Pcb* new_run = e.pcb("P1", 1);
  ASSERT_EQ(pl_get(new_run, 1), 1);
  EXPECT_NE(new_run->module.get(), old_em);
  EXPECT_EQ(compiles(), 2);
  EXPECT_EQ(pl_cache_count(), 1u);
  EXPECT_EQ(pl_cache_records(), 1u);
  // The old run still has its code whole.
  Desc before = descs()["P1"];
  before.values.pop_back();
  EXPECT_EQ(Engine::run(old_run), expected(before));
  EXPECT_EQ(Engine::run(new_run), expected(descs()["P1"]));
  pl_spares_release();
  size_t with_both = fm_memfile_count();
  EXPECT_GT(with_both, files);
  pl_release(old_run);  // its last release frees it
  pl_spares_release();
  EXPECT_LT(fm_memfile_count(), with_both);
  pl_release(new_run);
  EXPECT_EQ(pl_cache_count(), 1u);
}

TEST_F(Pl, AStatusOneModuleInTheCacheIsTakenAndNotLoadedAgain) {
  define({proc_rec("P1")});
  Pcb* a = e.pcb("P1");
  ASSERT_EQ(pl_get(a, 1), 1);
  EmHeader* em = a->module.get();
  pl_release(a);
  em->status = 1;
  Pcb* b = e.pcb("P1");
  ASSERT_EQ(pl_get(b, 1), 1);
  EXPECT_EQ(b->invoc.completion, 202);
  EXPECT_EQ(b->module.get(), em);
  EXPECT_EQ(pl_cache_count(), 1u);
  pl_release(b);
}

// ------------------------------------------------------------ eviction --
TEST_F(Pl, EvictionKeepsFifteenUnusedModulesLowestRetentionFirst) {
  // USER bytes 235 = 0 and 201 = 255: limit 15 and threshold 15.
  auto u = fx::user("USR");
  rec::view<DUser>(u.data()).cache_lim = uint8_t(0);
  rec::view<DUser>(u.data()).cache_thr = uint8_t(255);
  ASSERT_EQ(fx::write("USER", nullptr, nullptr, {u}), 1);
  constexpr int kProcs = 1000;
  const int kWarm = 100;
  std::vector<fx::Rec> defs;
  std::map<std::string, int> retention;
  for (int i = 0; i < kProcs; ++i) {
    std::string n = "E" + std::to_string(i);
    int r = (i * 37) % 40;  // 0-39: some below the threshold
    retention[n] = r;
    defs.push_back(proc_rec(n, 4, "0", r));
    descs()[n] = Desc{{uint32_t(i)}, {}, {}, false};
  }
  define(defs);
  // Warm up with a full cache so the baseline holds the loader's own work
  // areas, the pools' high-water marks and the file manager's quarantine of
  // closed handles at its steady size.
  settle_handles();
  for (int i = 0; i < kWarm; ++i) {
    Pcb* w = e.pcb(("E" + std::to_string(i)).c_str());
    ASSERT_EQ(pl_get(w, 1), 1);
    pl_release(w);
  }
  pl_flush();
  pl_spares_release();
  size_t baseline = arena::in_use();
  // The PCBs of the loop come from a pool of their own, gone before the count.
  MmPool fixture_pool = e.pool;
  e.pool = mm_create_pool(nullptr, 0, 0);
  std::set<std::string> cached;
  uint32_t most = 0;  // the cache reaches its limit of 15
  for (int i = 0; i < kProcs; ++i) {
    std::string n = "E" + std::to_string(i);
    Pcb* p = e.pcb(n.c_str());
    ASSERT_EQ(pl_get(p, 1), 1) << n;
    pl_release(p);
    ASSERT_EQ(pl_cache_count(), pl_cache_records());
    ASSERT_LE(pl_cache_count(), 15u);
    // What left the cache: never one with a higher retention than a kept one,
    // and below the threshold only the newest stays.
    std::set<std::string> before = cached;
    before.insert(n);
    cached.clear();
    for (const auto& name : before) {
      Pcb* probe = e.pcb(name.c_str());
      // A probe without verification: the cache's own look-up, keyed; the
      // loader's answer to "cached?" agrees with it.
      if (cache_get(probe, nullptr, 0)) {
        cached.insert(name);
        ASSERT_TRUE(em_cached(probe->module.get())) << name;
        pl_release(probe);
      }
      Engine::free_pcb(probe);
    }
    int kept_min = 1000;
    for (const auto& name : cached)
      if (name != n) kept_min = std::min(kept_min, retention[name]);
    for (const auto& name : before) {
      if (!cached.count(name)) {
        ASSERT_LE(retention[name], kept_min) << name << " went before a lower one";
      }
    }
    for (const auto& name : cached) {
      if (name != n) {
        ASSERT_GE(retention[name], 15) << name;
      }
    }
    most = std::max(most, pl_cache_count());
    Engine::free_pcb(p);
  }
  pl_flush();
  pl_spares_release();
  mm_destroy_pool(e.pool);
  e.pool = fixture_pool;
  EXPECT_EQ(pl_cache_count(), 0u);
  EXPECT_EQ(arena::in_use(), baseline);
  EXPECT_EQ(most, 15u);
}

// Eviction at its bounds: a module of retention 101 is resident, passed
// over by a full cache that evicts one of 100 (limit 1, threshold 1); one
// of the threshold's retention stays while the cache is below its limit
// (limit 2, threshold 100).
TEST_F(Pl, EvictionPassesOverResidentModulesAndKeepsTheThresholdsRetention) {
  define({proc_rec("R", 4, "0", 101), proc_rec("P", 4, "0", 100), proc_rec("Q", 4, "0", 100),
          proc_rec("S", 4, "0", 99)});
  auto cached = [&](const char* n) {
    Pcb* probe = e.pcb(n);
    bool got = cache_get(probe, nullptr, 0);
    pl_release(probe);
    return got;
  };
  e.user(1, 1);
  for (const char* n : {"R", "P", "Q"}) {
    descs()[n] = descs()["P1"];
    get_release(n);
  }
  EXPECT_TRUE(cached("R"));
  EXPECT_FALSE(cached("P"));
  EXPECT_TRUE(cached("Q"));
  pl_flush();
  auto u = fx::user("USR");
  rec::view<DUser>(u.data()).cache_lim = uint8_t(2);
  rec::view<DUser>(u.data()).cache_thr = uint8_t(100);
  ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DUSR_FDB(f, k, s); }, u));
  pi_getters_reset();
  descs()["S"] = descs()["P1"];
  get_release("P");
  get_release("S");
  EXPECT_TRUE(cached("P"));
  EXPECT_TRUE(cached("S"));
}

// A cached module nobody holds is verified for a run of every kind: after
// its definition changed, a run of kind 0 gets a new compile.
TEST_F(Pl, AnUnheldCachedModuleIsVerifiedForARunOfKindZero) {
  define({proc_rec("P1")});
  get_release();
  ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DPROC_FDB(f, k, s, "ABC", "00"); },
                      proc_rec("P1", 4, "1", 50, "2026-02-02T00:00:00")));
  descs()["P1"].values.push_back(99);
  Pcb* p = e.pcb("P1", 0);
  ASSERT_EQ(pl_get(p, 1), 1);
  EXPECT_EQ(compiles(), 2);
  EXPECT_EQ(Engine::run(p), expected(descs()["P1"]));
  pl_release(p);
}

}  // namespace

namespace {

// A saved module is compiled again when a dictionary compile changes the
// definition of a file it uses (the FILE record's stamp and with it the
// APPL stamp), and used (and saved again) when the APPL stamp alone
// changes; and when the dictionary's language changes to one that shares
// its first two letters (ENG to ENU).
TEST_F(Pl, ASavedModuleIsCompiledAgainWhenAFileItUsesOrTheLanguageChanges) {
  auto stamp_of = [](const char* iso) {
    auto r = fx::rec("FILE", {{"name", "MEMF"}, {"rec_len", "16"}, {"stamp", iso}});
    return r;
  };
  auto file_def = [&](const char* iso) {
    auto r = stamp_of(iso);
    ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DFI_FDB(f, k, s, "ABC", "00"); }, r));
  };
  auto appl_stamp = [&](const char* iso) {
    auto ap = fx::appl("ABC", "00");
    auto r = stamp_of(iso);
    std::memcpy(rec::view<DAppl>(ap.data()).stamp.b, rec::view<DFile>(r.data()).stamp.b, 8);
    ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DAP_FDB(f, k, s); }, ap));
  };
  auto fi = stamp_of("2026-02-02T00:00:00");
  ASSERT_EQ(fx::write("FILE", "ABC", "00", {fi}), 1);
  EmCfi r = memfile_cfi();
  std::memcpy(r.stamp.b, rec::view<DFile>(fi.data()).stamp.b, 8);
  descs()["P1"].cfi = {r};
  define({proc_rec("P1")});
  appl_stamp("2026-02-02T00:00:00");
  memf_images();
  restart();
  get_release();
  ASSERT_EQ(compiles(), 1);
  // A dictionary compile that left F1 as it was: loaded.
  appl_stamp("2026-03-03T00:00:00");
  restart();
  get_release();
  EXPECT_EQ(compiles(), 0);
  // One that changed F1's definition: compiled again.
  file_def("2026-04-04T00:00:00");
  appl_stamp("2026-04-04T00:00:00");
  restart();
  get_release();
  EXPECT_EQ(compiles(), 1);
  restart();
  get_release();
  EXPECT_EQ(compiles(), 0);
  // The dictionary's language from ENG to ENU: the module of ENG is not
  // the module of ENU, though both are saved under the blank language.
  for (const char* lang : {"ENG", "ENU"}) {
    SCOPED_TRACE(lang);
    auto prm = fx::param("MENU");
    rec::view<DParam>(prm.data()).dict_lang.set(lang);
    ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb*, FmSdb*) { INIT_DPARM_FDB(f, "ABC", "00"); }, prm));
    restart();
    Pcb* p = e.pcb("P1", 2, 4, lang);
    ASSERT_EQ(pl_get(p, 1), 1);
    EXPECT_EQ(compiles(), 1);
    EXPECT_EQ(p->module->lang.str(), lang);
    EXPECT_EQ(Engine::run(p), expected(descs()["P1"]));
    pl_release(p);
  }
}

// The same for a subroutine the module calls: a dictionary compile that
// changed the subroutine's definition (its PROCESS record's change stamp)
// compiles the module again; one that left it as it was does not.
TEST_F(Pl, ASavedModuleIsCompiledAgainWhenASubroutineItCallsChanges) {
  auto sub = [](const char* iso) { return proc_rec("SUB", 6, "1", 50, iso); };
  auto appl_stamp = [](uint8_t flip) {
    auto ap = fx::appl("ABC", "00");
    rec::view<DAppl>(ap.data()).stamp.b[0] ^= flip;
    ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DAP_FDB(f, k, s); }, ap));
  };
  auto s = sub("2026-02-02T00:00:00");
  EmClib lib;
  std::memset(static_cast<void*>(&lib), 0, sizeof lib);
  lib.app.set("ABC");
  lib.name.set("SUB");
  lib.number = 1u;
  std::memcpy(lib.stamp.b, rec::view<DProc>(s.data()).changed.b, 8);
  descs()["P1"].clib = {lib};
  define({proc_rec("P1"), s});
  get_release();
  ASSERT_EQ(compiles(), 1);
  // A dictionary compile that left SUB as it was: loaded.
  appl_stamp(1);
  restart();
  get_release();
  EXPECT_EQ(compiles(), 0);
  // One that changed SUB: compiled again.
  ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* sd) { INIT_DPROC_FDB(f, k, sd, "ABC", "00"); },
                      sub("2026-03-03T00:00:00")));
  appl_stamp(2);
  restart();
  get_release();
  EXPECT_EQ(compiles(), 1);
}

// The other engine of the test below: over the parent's data directory, it
// scratches the PROCESS file of "ABC" 00 and the APPL file and makes them
// anew (P2 added, "ABC" titled NEW), and writes the statuses to a file.
TEST(PlChild, ScratchesAndMakesAnewProcessAndApplFiles) {
  const char* dir = getenv("QUVO_PL_CHILD_DIR");
  const char* out = getenv("QUVO_PL_CHILD_OUT");
  if (!dir || !out) GTEST_SKIP() << "run by Pl.AnotherEngineScratchesAndMakesAnewTheFilesTheLoaderKeeps";
  Engine e;
  e.dir = dir;
  e.start(false);
  auto [pool, kdb, sdb] = cat_areas();
  FmFdb f;
  INIT_DPROC_FDB(&f, kdb, sdb, "ABC", "00");
  uint32_t proc = FM_SCRATCH(&f, 0) ? 0 : uint32_t(f.status);
  int procs = fx::write("PROCESS", "ABC", "00", {proc_rec("P1"), proc_rec("P2")});
  INIT_DAP_FDB(&f, kdb, sdb);
  uint32_t appl = FM_SCRATCH(&f, 0) ? 0 : uint32_t(f.status);
  int appls = fx::write("APPL", nullptr, nullptr, {fx::appl("ABC", "00", "NEW")});
  std::ofstream(out) << proc << " " << procs << " " << appl << " " << appls << "\n";
  mm_destroy_pool(pool);
  e.stop(false);
}

// Another engine may scratch and make anew the PROCESS and APPL files that
// this engine's loader keeps open between uses; the next load here reads
// the new files.
TEST_F(Pl, AnotherEngineScratchesAndMakesAnewTheFilesTheLoaderKeeps) {
  define({proc_rec("P1")});
  get_release();
  ASSERT_NE(pi_get_dap("ABC", "00"), nullptr);
  EXPECT_EQ(pi_get_dap("ABC", "00")->title.str().find("NEW"), std::string::npos);
  std::string out = e.dir + "/child.out";
  ASSERT_EQ(run_child_test("PlChild.ScratchesAndMakesAnewProcessAndApplFiles", {{"QUVO_PL_CHILD_DIR", e.dir}, {"QUVO_PL_CHILD_OUT", out}}), 0);
  std::string got;
  std::getline(std::ifstream(out), got);
  EXPECT_EQ(got, "0 2 0 1");
  descs()["P2"] = descs()["P1"];
  get_release("P2");
  ASSERT_NE(pi_get_dap("ABC", "00"), nullptr);
  EXPECT_EQ(pi_get_dap("ABC", "00")->title.str().substr(0, 3), "NEW");
}

// The PROCESS and APPL files the loader keeps between uses, put in
// another's place or changed by another user in every way the data
// directory allows: a copy renamed over it, a symbolic link to a copy, a
// directory or a pipe under its name, the file or its index cut short in
// place. Each use reads the file the name names, or fails with a status;
// over 1,000 rounds no descriptor or mapping of a file is left that was not
// before.
TEST_F(Pl, TheKeptFilesReplacedInEveryWayLeakNothing) {
  namespace fs = std::filesystem;
  define({proc_rec("P1")});
  get_release();
  std::map<std::string, std::string> at;
  for (const auto& e : fs::recursive_directory_iterator(e.dir)) at[e.path().filename()] = e.path().string();
  ASSERT_TRUE(at.count("PROCESS") && at.count("APPL"));
  const std::vector<uint8_t> good_proc = read_file(at["PROCESS"]), good_appl = read_file(at["APPL"]);
  auto fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
  auto maps = [] {  // the files mapped
    std::ifstream in("/proc/self/maps");
    long n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(" /") != std::string::npos;
    return n;
  };
  // The loader's use of PROCESS (a load) or of APPL (the application's
  // record, remembered while the file stays): 1, else the completion.
  auto use = [&](bool appl) {
    Pcb* q = e.pcb("P1");
    return mark(0, [&] {
      fm_kept_new_round();
      if (appl ? pi_get_dap("ABC", "00") == nullptr : !pl_get(q, 1)) ut_unwind(4);
      if (!appl) pl_release(q);
    });
  };
  long before = 0, before_maps = 0;
  for (int i = 0; i < 1000; ++i) {
    SCOPED_TRACE(i);
    const bool appl = i / 5 % 2;
    const std::string p = at[appl ? "APPL" : "PROCESS"], aside = p + ".aside";
    const std::vector<uint8_t>& good = appl ? good_appl : good_proc;
    switch (i % 5) {
      case 0:
        write_file(aside, good);
        ASSERT_EQ(::rename(aside.c_str(), p.c_str()), 0);
        ASSERT_EQ(use(appl), 1);
        break;
      case 1:
      case 2:
      case 3:
        ASSERT_EQ(::rename(p.c_str(), aside.c_str()), 0);
        ASSERT_EQ(i % 5 == 1 ? ::symlink(aside.c_str(), p.c_str())
                  : i % 5 == 2 ? ::mkdir(p.c_str(), 0700)
                               : ::mkfifo(p.c_str(), 0600),
                  0);
        EXPECT_EQ(use(appl), 4);
        ASSERT_EQ(::remove(p.c_str()), 0);
        ASSERT_EQ(::rename(aside.c_str(), p.c_str()), 0);
        break;
      case 4: {
        // (Not read through the handle's mapping, where it would fault.)
        ASSERT_EQ(::truncate(p.c_str(), 0), 0);
        ss_reset_sig_handler();
        EXPECT_EQ(use(appl), 4);
        ss_reset_sig_handler();
        write_file(p, good);
        ASSERT_EQ(use(appl), 1);
        // Its index cut short in place likewise.
        const std::vector<uint8_t> ix = read_file(p + ".ix");
        ASSERT_EQ(::truncate((p + ".ix").c_str(), 0), 0);
        EXPECT_EQ(use(appl), 4);
        ss_reset_sig_handler();
        write_file(p + ".ix", ix);
        break;
      }
    }
    ASSERT_EQ(use(appl), 1);
    if (i == 4) before = fds(), before_maps = maps();
  }
  EXPECT_EQ(fds(), before);
  EXPECT_EQ(maps(), before_maps);
}

}  // namespace
