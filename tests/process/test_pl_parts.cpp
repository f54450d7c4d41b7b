// Parts of the loader: relocation of file references, look-ups and header
// indexes; the save defaults; the verification log; pl_put's refusal of
// relocated code; pl_dump and pl_scratch; the dictionary getters and the
// file-error exit.
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "process/pl_fixture.h"
#include "screen/memterm.h"
#include "screen/wm.h"
#include "support/syserr.h"

using namespace pltest;

namespace {

class PlParts : public ::testing::Test {
 protected:
  Engine e;
  std::string vfy;
  void SetUp() override {
    descs().clear();
    compiles() = 0;
    char tmpl[] = "/tmp/quvo-plvfy-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    vfy = tmpl;
    setenv("QUVO_DBG_VFY", vfy.c_str(), 1);
    e.start();
    e.dictionary();
    descs()["P1"] = Desc{{5}, {6}, {}, false};
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {proc_rec("P1")}), 1);
  }
  void TearDown() override {
    e.stop();
    unsetenv("QUVO_DBG_VFY");
    std::remove(vfy.c_str());
    descs().clear();
  }
  std::string log() {
    std::ifstream in(vfy);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
};

TEST_F(PlParts, RelocationMakesIndexesAddressesAndKeysPointAtTheirSegments) {
  Pcb* p = e.pcb("P1");
  auto d = proc_rec("P1");
  ASSERT_EQ(build_em(&rec::view<DProc>(d.data()), p, 1), 1);
  EmHeader* em = p->module.get();
  em->area_ix1 = em->n_areas.get();  // the last slot
  em->area_ix2 = 0u;
  // A file reference with two keys of 2 and 1 segments.
  auto* kbuf = static_cast<FmKdb*>(MM_ALLOC(e.pool, sizeof(FmKdb) * 2));
  std::memset(static_cast<void*>(kbuf), 0, sizeof(FmKdb) * 2);
  kbuf[0].seg_count = 2;
  kbuf[0].segs.off = 1u;  // SDB record 1
  kbuf[1].seg_count = 1;
  kbuf[1].segs.off = 1u;
  FmArb* kdb = em->kdb.get();
  kdb->rec.set(reinterpret_cast<uint8_t*>(kbuf));
  kdb->rec_len = sizeof(FmKdb) * 2;
  ASSERT_EQ(fm_write(kdb), 1);
  auto* sbuf = static_cast<FmSdb*>(MM_ALLOC(e.pool, sizeof(FmSdb) * 3));
  std::memset(static_cast<void*>(sbuf), 0, sizeof(FmSdb) * 3);
  for (int i = 0; i < 3; ++i) sbuf[i].field = uint16_t(10 + i);
  FmArb* sdb = em->sdb.get();
  sdb->rec.set(reinterpret_cast<uint8_t*>(sbuf));
  sdb->rec_len = sizeof(FmSdb) * 3;
  ASSERT_EQ(fm_write(sdb), 1);
  EmCfi cfi;
  std::memset(static_cast<void*>(&cfi), 0, sizeof cfi);
  cfi.fdb.app.set("ABC");
  cfi.fdb.name.set("CUST");
  cfi.fdb.key_count = 2;
  cfi.fdb.kdb.off = 1u;  // KDB record 1
  cfi.file_no = 1;
  cfi.ctl_ira = 2u;
  cfi.rec_ira = em->n_areas + 1;  // one past the last slot
  FmArb* cf = em->cfi.get();
  auto* cbuf = static_cast<uint8_t*>(MM_ALLOC(e.pool, sizeof cfi));
  std::memcpy(cbuf, &cfi, sizeof cfi);
  PROTO_FULL(cf, 0, cbuf);
  ASSERT_EQ(fm_write(cf), 1);
  EmCdlu dl;
  std::memset(static_cast<void*>(&dl), 0, sizeof dl);
  dl.number = 1;
  dl.area = 4u;
  auto* dbuf = static_cast<uint8_t*>(MM_ALLOC(e.pool, sizeof dl));
  std::memcpy(dbuf, &dl, sizeof dl);
  PROTO_FULL(em->cdlu.get(), 0, dbuf);
  ASSERT_EQ(fm_write(em->cdlu.get()), 1);

  ASSERT_EQ(pl_rloc(p), 1);
  Ref<uint8_t>* arr = em->area_addr.get();
  ASSERT_NE(arr, nullptr);
  EXPECT_EQ(em->area_ix1.get(), arena::offset_of(arr + em->n_areas));
  EXPECT_EQ(em->area_ix2.get(), 0u);
  auto* r = reinterpret_cast<EmCfi*>(MADDR(cf, 1));
  EXPECT_EQ(r->ctl_ira.get(), arena::offset_of(arr + 2));
  EXPECT_EQ(r->rec_ira.get(), 0u);
  FmKdb* keys = r->fdb.kdb.get();
  ASSERT_EQ(reinterpret_cast<uint8_t*>(keys), MADDR(kdb, 1));
  EXPECT_EQ(keys[0].segs.get()->field, 10);
  EXPECT_EQ(keys[1].segs.get()->field, 12);  // after the first key's two segments
  EXPECT_EQ(reinterpret_cast<EmCdlu*>(MADDR(em->cdlu.get(), 1))->area.get(), arena::offset_of(arr + 4));
  pl_release(p);
}

TEST_F(PlParts, ARelocatedModuleIsNeverSaved) {
  Pcb* p = e.pcb("P1");
  ASSERT_EQ(pl_get(p, 1), 1);
  std::string path = e.mod_path(stamp_name().c_str());
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  Engine::run(p);  // its code is relocated now
  ASSERT_EQ(p->module->code_relocated, 1);
  std::remove(path.c_str());
  EXPECT_EQ(pl_put(p->module.get()), 0);
  EXPECT_NE(stat(path.c_str(), &st), 0);
  pl_release(p);
}

TEST_F(PlParts, SaveDefaultsFirstAnswerWins) {
  Pcb* p = e.pcb("P1");
  auto d = proc_rec("P1", 4, " ");
  const DProc* def = &rec::view<DProc>(d.data());
  // No APPL default for type 4 and no SYSPARM: save.
  EXPECT_EQ(dflt_save_em(def, p), 1);
  auto ap = fx::appl("ABC", "00");
  rec::view<DAppl>(ap.data()).save[3].set("0");
  rec::view<DAppl>(ap.data()).save[5].set("0");
  ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DAP_FDB(f, k, s); }, ap));
  pi_getters_reset();
  EXPECT_EQ(dflt_save_em(def, p), 0);
  EXPECT_EQ(dflt_save_em(def, e.pcb("P1", 2, 6)), 0);  // the last type of the APPL defaults
  // The definition's own flag comes first.
  auto d1 = proc_rec("P1", 4, "1");
  EXPECT_EQ(dflt_save_em(&rec::view<DProc>(d1.data()), p), 1);
  // Types past 6: save.
  Pcb* job = e.pcb("P1", 2, 8);
  EXPECT_EQ(dflt_save_em(def, job), 1);
  // Without an APPL default, SYSPARM's of the type (its bytes 349-354).
  ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DAP_FDB(f, k, s); }, fx::appl("ABC", "00")));
  auto sp = fx::rec("SYSPARM", {});
  rec::view<DSysparm>(sp.data()).save[2 + 4].set("0");
  ASSERT_EQ(fx::write("SYSPARM", nullptr, nullptr, {sp}), 1);
  pi_getters_reset();
  EXPECT_EQ(dflt_save_em(def, p), 0);
  EXPECT_EQ(dflt_save_em(def, e.pcb("P1", 2, 3)), 1);
}

TEST_F(PlParts, VerificationFailuresAreLogged) {
  Pcb* p = e.pcb("P1");
  ASSERT_EQ(pl_get(p, 1), 1);
  pl_release(p);
  pl_flush();
  ASSERT_TRUE(rewrite([](FmFdb* f, FmKdb* k, FmSdb* s) { INIT_DPROC_FDB(f, k, s, "ABC", "00"); },
                      proc_rec("P1", 4, "1", 50, "2026-04-04T00:00:00")));
  Pcb* q = e.pcb("P1");
  ASSERT_EQ(pl_get(q, 1), 1);
  EXPECT_EQ(compiles(), 2);
  pl_release(q);
  EXPECT_NE(log().find("P1                             - Process Modified\n"), std::string::npos) << log();
}

TEST_F(PlParts, DumpListsModulesAndSubFilesAndScratchDeletesTheSavedFile) {
  Pcb* p = e.pcb("P1");
  ASSERT_EQ(pl_get(p, 1), 1);
  char* text = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&text, &len);
  pl_dump(f);
  std::fclose(f);
  std::string s(text, len);
  free(text);
  EXPECT_EQ(s.rfind("EM - 4 ABC/00/P1                            \n", 0), 0u) << s;
  EXPECT_NE(s.find("  CAP\t "), std::string::npos);
  EXPECT_NE(s.find("  LOC\t NULL\n"), std::string::npos);
  EXPECT_NE(s.find("  TOC\t NULL\n"), std::string::npos);  // the debug file has it now
  pl_release(p);
  uint32_t st = 1;
  EXPECT_EQ(pl_scratch(0, "ABC", "00", 4, "P1", &st), 1);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(pl_scratch(0, "ABC", "00", 4, "P1", &st), 0);
  EXPECT_EQ(st, FM_ST_NOT_FOUND);
}

TEST_F(PlParts, GettersRememberTheirLastRecord) {
  ASSERT_EQ(fx::write("USER", nullptr, nullptr, {fx::user("USR", "Ann")}), 1);
  const DUser* u = pi_get_dusr("USR");
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->name.str(), "Ann");
  EXPECT_EQ(pi_get_dusr("USR"), u);
  EXPECT_EQ(pi_get_dusr("NOB"), nullptr);
  EXPECT_NE(pi_get_dusr("USR"), nullptr);  // read again after the failed one
  const DAppl* a = pi_get_dap("ABC", "00");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->app.str(), "ABC");
  EXPECT_EQ(pi_get_dap("XYZ", "00"), nullptr);
  // Two applications' APPL records are remembered, a third takes the place
  // of the one asked for least lately; each is the file's record, also
  // after a change in place through another handle.
  auto [pool, kdb, sdb] = cat_areas();
  FmFdb f;
  INIT_DAP_FDB(&f, kdb, sdb);
  ASSERT_TRUE(FM_OPEN(&f, com.depth, 0, 15, 15));
  FmArb* h = f.handle.get();
  auto* r = static_cast<DAppl*>(MM_ALLOC(pool, sizeof(DAppl)));
  auto put = [&](const char* app, const char* title, bool write) {
    std::memset(static_cast<void*>(r), ' ', sizeof *r);
    r->app.set("ABC");
    r->ver.set("00");
    PROTO_FULL(h, 0, reinterpret_cast<uint8_t*>(r));
    h->op = FM_OP_HOLD;
    ASSERT_TRUE(fm_read(h));
    r->app.set(app);
    r->title.set(title);
    h->op = 0;
    ASSERT_TRUE(write ? fm_write(h) : fm_rewrite(h));
  };
  put("DEF", "", true);
  put("GHI", "", true);
  for (const char* app : {"ABC", "DEF", "ABC", "GHI", "DEF", "GHI", "ABC"}) {
    const DAppl* d = pi_get_dap(app, "00");
    ASSERT_NE(d, nullptr) << app;
    EXPECT_EQ(d->app.str(), app);
  }
  put("ABC", "CHANGED", false);
  ASSERT_TRUE(FM_CLOSE(h, 0));
  mm_destroy_pool(pool);
  ASSERT_NE(pi_get_dap("ABC", "00"), nullptr);
  EXPECT_EQ(pi_get_dap("ABC", "00")->title.str().substr(0, 7), "CHANGED");
  EXPECT_EQ(pi_get_dap("GHI", "00")->app.str(), "GHI");
  // PARAM (last changed an hour ago) stays open from one read to the next;
  // a change is seen at the next read, and no handle piles up.
  {
    FmFdb f;
    INIT_DPARM_FDB(&f, "ABC", "00");
    f.options = FM_OPT_NO_SYSDIR;
    std::string path;
    ASSERT_TRUE(fm_os_path(&f, &path));
    timespec old[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0) << path;
  }
  const DParam* prm = pi_get_dparm("ABC", "00");
  ASSERT_NE(prm, nullptr);
  EXPECT_EQ(prm->menu[0].str(), "MENU");
  size_t open = fm_open_count();
  for (int i = 0; i < 3; ++i) ASSERT_NE(pi_get_dparm("ABC", "00"), nullptr);
  EXPECT_EQ(fm_open_count(), open);
  {
    FmFdb f;
    INIT_DPARM_FDB(&f, "ABC", "00");
    ASSERT_TRUE(FM_OPEN(&f, com.depth, FM_OPT_NO_SYSDIR, 15, 15)) << f.status;
    FmArb* h = f.handle.get();
    DParam& r = *static_cast<DParam*>(MM_ALLOC(e.pool, sizeof(DParam)));
    PROTO_FULL(h, 0, reinterpret_cast<uint8_t*>(&r));
    h->op = FM_OP_RID | FM_OP_HOLD;
    h->rid = 1;
    ASSERT_TRUE(fm_read(h));
    r.menu[0].set("MENU2");
    h->op = 0;
    ASSERT_TRUE(fm_rewrite(h));
    FM_CLOSE(h, 0);
    mm_free(&r);
  }
  prm = pi_get_dparm("ABC", "00");
  ASSERT_NE(prm, nullptr);
  EXPECT_EQ(prm->menu[0].str(), "MENU2");
  EXPECT_EQ(fm_open_count(), open - 1);   // (changed just now: not kept)
  EXPECT_EQ(pi_get_dparm("XYZ", "00"), nullptr);
  EXPECT_EQ(pi_get_dsysparm(), nullptr);
  ASSERT_EQ(fx::write("SYSPARM", nullptr, nullptr, {fx::rec("SYSPARM", {})}), 1);
  const DSysparm* sp = pi_get_dsysparm();
  ASSERT_NE(sp, nullptr);
  EXPECT_EQ(pi_get_dsysparm(), sp);
}

TEST_F(PlParts, FileErrorExitShowsTheRecordAndUnwindsWith4) {
  static PiFiErr seen;
  static void* seen_parent = nullptr;
  proc_svc.rt_err = [](void* parent, const void* r) {
    seen_parent = parent;
    std::memcpy(&seen, r, sizeof seen);
  };
  Pcb* parent = e.pcb("PARENT");
  Pcb* p = e.pcb("CHILD", 2, 3);
  p->invoc.parent_pcb.set(parent);
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_DISK, 10, 0, nullptr, 0);
  INIT_DB_PATH(&f, "DB1", "ABC", "00", "CUST", FM_PT_DATA);
  int rc = ::mark(0, [&] { pi_fi_err(p, &f, 300270, 200340); });
  EXPECT_EQ(rc, 4);
  EXPECT_EQ(p->invoc.completion, 4);
  EXPECT_EQ(seen_parent, parent);
  EXPECT_EQ(seen.file_app.str(), "ABC");
  EXPECT_EQ(seen.file_name.str(), "CUST");
  EXPECT_EQ(seen.db.str(), "DB1");
  EXPECT_EQ(seen.proc_name.str(), "CHILD");
  EXPECT_EQ(seen.proc_type.str(), "3");
  // Runtime files show "---" and no database.
  INIT_LA_PATH(&f, "00", "QPARM", FM_PT_DATA);
  PiFiErr r;
  pi_fi_err_rec(&r, p, &f, 300270, 0);
  EXPECT_EQ(r.file_app.str(), "---");
  EXPECT_TRUE(r.db.blank());
  EXPECT_TRUE(r.status_text.blank());
}

TEST_F(PlParts, AMissingDefinitionShowsTheFileErrorExceptForType12) {
  static int shown = 0;
  proc_svc.rt_err = [](void*, const void*) { ++shown; };
  Pcb* p = e.pcb("NONE");
  int got = -1;
  int rc = ::mark(0, [&] { got = pl_get(p, 1); });
  EXPECT_EQ(rc, 4);
  EXPECT_EQ(shown, 1);
  Pcb* q = e.pcb("NONE", 2, 12);
  rc = ::mark(0, [&] { got = pl_get(q, 1); });
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(q->invoc.completion, 200140);
  EXPECT_EQ(shown, 1);
}

TEST_F(PlParts, TheLoaderStartsAtItsStage) {
  OsInitFn before = os_get_init(OsInit::Pl);
  pl_register();
  OsInitFn fn = os_get_init(OsInit::Pl);
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 1);
  EXPECT_EQ(pl_cache_count(), 0u);
  EXPECT_EQ(pl_cache_records(), 0u);
  os_set_init(OsInit::Pl, before);
}

TEST_F(PlParts, WhileAScreenIsUpTheCompileShowsAMessageWindow) {
  ASSERT_EQ(fx::write("PROCESS", "ABC", "00", {proc_rec("P0", 4, "0")}), 1);
  descs()["P0"] = descs()["P1"];
  MemTerm term;
  Keymap km;
  std::string err;
  ASSERT_TRUE(km_compile_source(kTestKeymap, ".", "test.km", "xterm", &km, &err)) << err;
  ASSERT_EQ(wm_start(&term, &km), 1);
  int windows_before = 0, s = 0, r = 0;
  wm_counts(&s, &windows_before, &r);
  std::vector<std::string> seen;
  on_compile() = [&] {
    for (int row = 1; row <= 24; ++row) seen.push_back(wm_screen_row(row));
  };
  Pcb* p = e.pcb("P0");
  ASSERT_EQ(pl_get(p, 1), 1);
  on_compile() = nullptr;
  std::string all;
  for (const auto& row : seen) all += row + "\n";
  EXPECT_NE(all.find("Compiling process - please wait"), std::string::npos) << all;
  EXPECT_NE(all.find("T P0"), std::string::npos) << all;  // the title names the process
  int windows_after = 0;
  wm_counts(&s, &windows_after, &r);
  EXPECT_EQ(windows_after, windows_before);
  pl_release(p);
  wm_end();
}

}  // namespace
