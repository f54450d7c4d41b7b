// Paths, SYSDIR placement, CHECK_FI, the record-image cache and sequential
// files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "files/fm.h"
#include "files/fmcat.h"
#include "files/fm_check.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/ut.h"
#include "support/syserr.h"

namespace {

class FmFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quvo-fmf-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("QUVOPATH", dir.c_str(), 1);
    for (const char* v : {"QUVO_PATH_DATA", "QUVO_PATH_MOD", "QUVO_PATH_SESS"}) unsetenv(v);
    bi_init_com();
    fms_init();
    native = fm_backend(FM_BE_NATIVE);
    pool = mm_create_pool(" FMFILETEST", 0, 0);
  }
  void TearDown() override {
    fm_shutdown();
    fm_register_backend(FM_BE_NATIVE, native);
    mm_destroy_pool(pool);
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
    unsetenv("QUVO_PATH_DATA");
  }
  uint8_t* alloc(size_t n) { return static_cast<uint8_t*>(MM_ALLOC(pool, n)); }
  // Keyed disk files are served by the memory back end in these tests.
  void stand_in_native() { fm_register_backend(FM_BE_NATIVE, fm_backend(FM_BE_MEMORY)); }

  FmFdb seq_fdb(const char* app, const char* ver, const char* name, int path_type, const char* db = "") {
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, 200, 1, nullptr, 0);
    INIT_DB_PATH(&f, db, app, ver, name, path_type);
    return f;
  }
  std::string path_of(FmFdb f) {
    std::string p;
    return fm_os_path(&f, &p) ? p : "error " + std::to_string(f.status);
  }

  std::string dir;
  const FmHandlers* native = nullptr;
  MmPool pool = 0;
};

}  // namespace

TEST_F(FmFiles, PathsFollowTheTemplates) {
  FmFdb d;
  INIT_FDB(&d, 1, 100, 0, nullptr, 0);
  INIT_SRC_PATH(&d, "APP", "02", "PROCESS ", FM_PT_DATA);
  EXPECT_EQ(path_of(d), dir + "/data/dict/APP02/PROCESS");
  INIT_SA_PATH(&d, "USER    ", FM_PT_DATA);
  EXPECT_EQ(path_of(d), dir + "/data/0SA00/USER");
  INIT_LA_PATH(&d, "00", "MESSAGE ", FM_PT_DATA);
  EXPECT_EQ(path_of(d), dir + "/data/0LA00/MESSAGE");
  INIT_DB_PATH(&d, "DB1", "APP", "02", "CUSTOMER", FM_PT_DATA);
  EXPECT_EQ(path_of(d), dir + "/data/DB1/APP02/CUSTOMER");
  INIT_DB_PATH(&d, "", "APP", "02", "SESSION1", FM_PT_SESS);
  EXPECT_EQ(path_of(d), dir + "/sess/APP02/SESSION1");
  INIT_DB_PATH(&d, "DB1", "APP", "02", "A B/C", FM_PT_STRUCT);
  EXPECT_EQ(path_of(d), dir + "/struct/DB1/APP02/A_B_C");
  for (int t : {3, 4, 5, 6}) {
    d.path_type = uint8_t(t);
    EXPECT_NE(path_of(d).find(dir + "/"), std::string::npos) << t;
  }
  // An environment file may override a template.
  setenv("QUVO_PATH_DATA", "/srv/{db}/{app}-{ver}/{name}.{type}", 1);
  d.path_type = FM_PT_DATA;
  EXPECT_EQ(path_of(d), "/srv/DB1/APP-02/A_B_C.data");
  setenv("QUVO_PATH_DATA", "{QUVOPATH}/x/{nosuch}", 1);
  EXPECT_EQ(path_of(d), "error 200650");
  unsetenv("QUVO_PATH_DATA");
  // The next path places a file in a given directory.
  d.options = FM_OPT_NEXT_PATH;
  fm_set_next_path("/elsewhere/dir/");
  EXPECT_EQ(path_of(d), "/elsewhere/dir/A_B_C");
  // The create that takes it uses it up.
  fm_set_next_path((dir + "/next").c_str());
  FmFdb n = seq_fdb("APP", "02", "ONCE", FM_PT_SESS);
  n.options = FM_OPT_NEXT_PATH | FM_OPT_NO_SYSDIR;
  ASSERT_TRUE(fm__create(nullptr, &n, com.depth)) << n.status << la_cur_sys_err();
  EXPECT_EQ(path_of(n), dir + "/sess/APP02/ONCE");
}

TEST_F(FmFiles, BadPathsGetAStatus) {
  FmFdb f = seq_fdb("APP", "01", "NOPE", FM_PT_DATA);
  // Unknown path type.
  f.path_type = 9;
  EXPECT_TRUE(fails_with(FM_CREATE(&f, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15), f, FM_ST_SYS));
  EXPECT_NE(la_cur_sys_err().find("path type 9"), std::string::npos);
  EXPECT_TRUE(fails_with(fm_locate(&f), f, FM_ST_SYS));
  EXPECT_TRUE(fails_with(FM_SCRATCH(&f, 0), f, FM_ST_SYS));
  f.path_type = 0;
  EXPECT_TRUE(fails_with(FM_OPEN(&f, com.depth, FM_OPT_NO_SYSDIR, 15, 15), f, FM_ST_SYS));
  // One past the last path type, also for a memory file, which has no path.
  FmFdb m;
  INIT_FDB(&m, FM_CLASS_MEMORY, 10, 0, nullptr, 0);
  INIT_DB_PATH(&m, "", "APP", "01", "MEMT", FM_PT_SESS + 1);
  EXPECT_TRUE(fails_with(FM_CREATE(&m, com.depth, 0, 0, 15, 15), m, FM_ST_SYS));
  m.path_type = FM_PT_SESS;
  EXPECT_TRUE(FM_CREATE(&m, com.depth, 0, 0, 15, 15)) << m.status;
  // No QUVOPATH.
  unsetenv("QUVOPATH");
  FmFdb g = seq_fdb("APP", "01", "NOPE", FM_PT_DATA);
  EXPECT_TRUE(fails_with(FM_CREATE(&g, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15), g, FM_ST_SYS));
  EXPECT_NE(la_cur_sys_err().find("QUVOPATH"), std::string::npos);
  EXPECT_TRUE(fails_with(FM_OPEN(&g, com.depth, FM_OPT_NO_SYSDIR, 15, 15), g, FM_ST_SYS));
  // A keyed disk file with no back end for it.
  fm_register_backend(FM_BE_NATIVE, nullptr);
  auto* k = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb)));
  auto* s = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb)));
  init_sdb_func(s, 1, 0, 4, FM_SEG_ALPHA, '+');
  INIT_KDB(k, 0, '+', 8, s, 1);
  FmFdb n;
  INIT_FDB(&n, FM_CLASS_DISK, 10, 0, k, 1);
  INIT_DB_PATH(&n, "", "APP", "01", "KEYED", FM_PT_DATA);
  EXPECT_TRUE(fails_with(FM_CREATE(&n, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15), n, FM_ST_SYS));
}

TEST_F(FmFiles, SysdirPlacesPermanentFiles) {
  stand_in_native();
  FmFdb f = seq_fdb("APP", "01", "LEDGER", FM_PT_DATA, "DB1");
  // No SYSDIR file, no entry: 200490, unless the option allows it.
  EXPECT_TRUE(fails_with(FM_CREATE(&f, com.depth, 0, 0, 15, 15), f, FM_ST_NO_SYSDIR));
  auto* kdb = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb sd;
  INIT_DSYSDIR_FDB(&sd, kdb, sdb);
  ASSERT_TRUE(FM_CREATE(&sd, 0, 0, FM_OPT_NO_SYSDIR, 15, 15)) << sd.status << la_cur_sys_err();
  FmArb* s = sd.handle.get();
  EXPECT_TRUE(fails_with(FM_CREATE(&f, com.depth, 0, 0, 15, 15), f, FM_ST_NO_SYSDIR));
  // An entry with a directory places the file there.
  auto* e = reinterpret_cast<FmSysdirRec*>(alloc(sizeof(FmSysdirRec)));
  std::memset(static_cast<void*>(e), ' ', sizeof *e);
  e->db.set("DB1");
  e->app.set("APP");
  e->ver.set("  ");
  e->name.set("LEDGER");
  e->dir_opts = 0;
  e->dir.set(dir + "/placed");
  e->option = '1';
  s->rec.set(reinterpret_cast<uint8_t*>(e));
  s->op = 0;
  ASSERT_TRUE(fm_write(s)) << s->status;
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, 0, 15, 15)) << f.status << la_cur_sys_err();
  FmName nm;
  ASSERT_TRUE(fm_nam(f.handle.get(), &nm));
  EXPECT_EQ(std::string(nm.text, nm.len), dir + "/placed/LEDGER");
  ASSERT_TRUE(FM_CLOSE(f.handle.get(), 0));
  FmFdb o = seq_fdb("APP", "01", "LEDGER", FM_PT_DATA, "DB1");
  ASSERT_TRUE(FM_OPEN(&o, com.depth, 0, 15, 15)) << o.status;
  ASSERT_TRUE(FM_CLOSE(o.handle.get(), 0));
  // A withdrawn entry (being restructured): busy.
  PROTO_FULL(s, 0, reinterpret_cast<uint8_t*>(e));
  s->op = FM_OP_EQUAL | FM_OP_HOLD;
  ASSERT_TRUE(fm_read(s));
  e->option = '0';
  s->op = 0;
  ASSERT_TRUE(fm_rewrite(s));
  EXPECT_TRUE(fails_with(FM_OPEN(&o, com.depth, 0, 15, 15), o, FM_ST_BUSY));
  // Locate, replace and scratch find the file where its entry places it,
  // withdrawn or not.
  FmFdb loc = seq_fdb("APP", "01", "LEDGER", FM_PT_DATA, "DB1");
  EXPECT_TRUE(fm_locate(&loc)) << loc.status;
  FmFdb work = seq_fdb("APP", "01", "LEDGNEW", FM_PT_DATA, "DB1");
  ASSERT_TRUE(FM_CREATE(&work, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15)) << work.status;
  uint8_t* line = alloc(200);
  std::memset(line, 'n', 200);
  work.handle->rec.set(line);
  work.handle->op = 0;
  ASSERT_TRUE(fm_write(work.handle.get()));
  ASSERT_TRUE(FM_CLOSE(work.handle.get(), FM_CL_KEEP));
  FmFdb target = seq_fdb("APP", "01", "LEDGER", FM_PT_DATA, "DB1");
  work.options = FM_OPT_NO_SYSDIR;
  ASSERT_TRUE(fm_replace(&target, &work, 0)) << target.status << la_cur_sys_err();
  struct stat st;
  ASSERT_EQ(::stat((dir + "/placed/LEDGER").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 32 + 4 + 200);
  EXPECT_FALSE(fm_locate(&work));
  FmFdb scr = seq_fdb("APP", "01", "LEDGER", FM_PT_DATA, "DB1");
  EXPECT_TRUE(FM_SCRATCH(&scr, 0)) << scr.status;
  EXPECT_NE(::stat((dir + "/placed/LEDGER").c_str(), &st), 0);
  EXPECT_FALSE(fm_locate(&loc));
  // Files of the system applications pass the option and need no entry.
  FmFdb sys = seq_fdb("0SA", "00", "PRTQUEUE", FM_PT_DATA);
  EXPECT_TRUE(FM_CREATE(&sys, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15)) << sys.status;
}

TEST_F(FmFiles, CheckFiReportsTheFileAndItsStatus) {
  SysErrCapture cap(SysErrAnswer::Continue);
  FmFdb f;
  INIT_FDB(&f, 1, 10, 0, nullptr, 0);
  INIT_DB_PATH(&f, "DB1", "APP", "01", "CUSTOMER", FM_PT_DATA);
  f.status = FM_ST_NOT_FOUND;
  testing::internal::CaptureStdout();
  CHECK_FI(1, &f, "not reported");
  CHECK_FI(0, &f, "cannot open customers");
  INIT_SRC_PATH(&f, "APP", "01", "ELEMENT ", FM_PT_DATA);
  CHECK_FI(0, &f, "element");
  INIT_SA_PATH(&f, "USER    ", FM_PT_DATA);
  CHECK_FI(0, &f, "user");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "CHECK_FI - cannot open customers\nDB1 APP 01 CUSTOMER\n"
            "CHECK_FI - element\nAPP 01 ELEMENT \n"
            "CHECK_FI - user\n0SA 00 USER    \n");
  ASSERT_EQ(cap.count(), 3u);
  EXPECT_EQ(cap.log()[0].module, "TEST_FM_FILES.C");
  EXPECT_EQ(cap.log()[0].text.rfind("cannot open customers - ", 0), 0u) << cap.log()[0].text;
}

TEST_F(FmFiles, RecordImagesComeFromTheInitialFile) {
  stand_in_native();
  auto* kdb = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb ini;
  INIT_DINIT_FDB(&ini, kdb, sdb, "APP", "01");
  ASSERT_TRUE(FM_CREATE(&ini, 0, 0, FM_OPT_NO_SYSDIR, 15, 15)) << ini.status << la_cur_sys_err();
  FmArb* a = ini.handle.get();
  uint8_t* r = alloc(1013);
  // A 1005-byte image in two pieces per kind, written 1/1, 2/1, 1/2, 2/2.
  for (uint32_t seq = 1; seq <= 2; ++seq)
    for (uint8_t kind = 1; kind <= 2; ++kind) {
      std::memcpy(r, "CUSTOMER", 8);
      r[8] = kind;
      rec::view<rec::U32>(r + 9).set(seq);
      size_t n = seq == 1 ? 1000 : 5;
      std::memset(r + 13, kind == 1 ? 'I' : 'N', n);
      r[13] = uint8_t('0' + seq);
      a->rec.set(r);
      a->rec_len = uint16_t(13 + n);
      a->op = 0;
      ASSERT_TRUE(fm_write(a)) << a->status;
    }
  FmFdb cfi;
  INIT_FDB(&cfi, 1, 1005, 0, nullptr, 0);
  INIT_DB_PATH(&cfi, "DB1", "APP", "01", "CUSTOMER", FM_PT_DATA);
  uint8_t* img = fm_cache(&cfi, 1);
  ASSERT_NE(img, nullptr) << cfi.status << la_cur_sys_err();
  EXPECT_EQ(img[0], '1');
  EXPECT_EQ(img[999], 'I');
  EXPECT_EQ(img[1000], '2');
  EXPECT_EQ(img[1004], 'I');
  uint8_t* nul = fm_cache(&cfi, 2);
  ASSERT_NE(nul, nullptr);
  EXPECT_EQ(nul[1004], 'N');
  EXPECT_EQ(fm_cache(&cfi, 1), img);  // cached
  EXPECT_EQ(fm_uncache(img), 1);
  EXPECT_EQ(fm_uncache(img), 1);
  EXPECT_EQ(fm_uncache(img), 0);
  FmFdb other = cfi;
  other.name.set("OTHER");
  EXPECT_EQ(fm_cache(&other, 1), nullptr);
  EXPECT_EQ(other.status, FM_ST_NO_INITIAL);
  EXPECT_EQ(fm_cache(&cfi, 3), nullptr);
  EXPECT_EQ(cfi.status, FM_ST_SYS);
}

TEST_F(FmFiles, SequentialFiles) {
  FmFdb f = seq_fdb("APP", "01", "SUSPEND", FM_PT_SESS);
  f.rec_len = FM_MAX_REC;
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15)) << f.status << la_cur_sys_err();
  FmArb* a = f.handle.get();
  uint8_t* buf = alloc(FM_MAX_REC + 1);
  std::vector<size_t> lens = {1, 72, 0 /*full*/, 32767, 4};
  for (size_t i = 0; i < lens.size(); ++i) {
    std::memset(buf, 'a' + int(i), FM_MAX_REC);
    a->rec.set(buf);
    a->rec_len = uint16_t(lens[i]);
    a->op = 0;
    ASSERT_TRUE(fm_write(a)) << a->status << la_cur_sys_err();
    EXPECT_EQ(a->rid, i + 1);
  }
  ASSERT_TRUE(FM_CLOSE(a, FM_CL_KEEP));
  FmFdb o = seq_fdb("APP", "01", "SUSPEND", FM_PT_SESS);
  ASSERT_TRUE(FM_OPEN(&o, com.depth, FM_OPT_NO_SYSDIR, 15, 15)) << o.status;
  a = o.handle.get();
  EXPECT_EQ(a->file->fdb.rec_len, FM_MAX_REC);
  a->rec.set(buf);
  a->rec_len = 0;
  a->op = 0;
  for (size_t i = 0; i < lens.size(); ++i) {
    ASSERT_TRUE(fm_rdnxt(a)) << i << " " << a->status;
    EXPECT_EQ(a->len_read, lens[i] ? lens[i] : FM_MAX_REC);
    EXPECT_EQ(buf[0], 'a' + int(i));
  }
  EXPECT_TRUE(fails_with(fm_rdnxt(a), a, FM_ST_EOF));
  // By record id; a short buffer; rewrite in place; no single delete.
  a->rid = 2;
  a->op = FM_OP_RID | FM_OP_HOLD;
  ASSERT_TRUE(fm_read(a));
  EXPECT_EQ(a->len_read, 72);
  std::memset(buf, 'z', 72);
  a->rec_len = 72;
  a->op = 0;
  ASSERT_TRUE(fm_rewrite(a));
  a->rid = 2;
  a->op = FM_OP_RID | FM_OP_HOLD;
  a->rec_len = 10;
  EXPECT_TRUE(fails_with(fm_read(a), a, FM_ST_TOO_LONG));
  EXPECT_EQ(buf[9], 'z');
  a->rec_len = 73;
  EXPECT_TRUE(fails_with(fm_rewrite(a), a, FM_ST_SYS));
  EXPECT_TRUE(fails_with(fm_del(a), a, FM_ST_SYS));
  a->rid = 9;
  a->op = FM_OP_RID;
  EXPECT_TRUE(fails_with(fm_read(a), a, FM_ST_NO_RECORD));
  // A record cut short by a crash is dropped by the next write.
  FmName nm;
  ASSERT_TRUE(fm_nam(a, &nm));
  std::string path(nm.text, nm.len);
  {
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out.write("\x10\x00\x00\x00xy", 6);
  }
  a->rec_len = 3;
  a->op = 0;
  std::memcpy(buf, "new", 3);
  ASSERT_TRUE(fm_write(a));
  EXPECT_EQ(a->rid, 6u);
  a->rid = 6;
  a->op = FM_OP_RID;
  a->rec_len = 0;
  ASSERT_TRUE(fm_read(a));
  EXPECT_EQ(a->len_read, 3);
  ASSERT_TRUE(fm_del_all(a));
  a->op = FM_OP_FIRST;
  EXPECT_TRUE(fails_with(fm_rdnxt(a), a, FM_ST_EOF));
  // Scratch refuses an open file; a file that is not sequential is refused.
  FmFdb s = o;
  EXPECT_TRUE(fails_with(FM_SCRATCH(&s, 0), s, FM_ST_SCRATCH_OPEN));
  ASSERT_TRUE(FM_CLOSE(a, 0));
  {
    std::ofstream out(path, std::ios::trunc);
    out << "this is not a sequential file of the engine";
  }
  FmFdb bad = seq_fdb("APP", "01", "SUSPEND", FM_PT_SESS);
  EXPECT_TRUE(fails_with(FM_OPEN(&bad, com.depth, FM_OPT_NO_SYSDIR, 15, 15), bad, FM_ST_SYS));
  // Nor is it removed: only a file of the engine's own is.
  EXPECT_TRUE(fails_with(FM_SCRATCH(&bad, 0), bad, FM_ST_SYS));
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  ::unlink(path.c_str());
  EXPECT_TRUE(fails_with(FM_SCRATCH(&bad, 0), bad, FM_ST_NOT_FOUND));
}

TEST_F(FmFiles, StructureStampsAreChecked) {
  FmFdb f = seq_fdb("APP", "01", "STAMPED", FM_PT_STRUCT);
  f.stamp[0] = 11;
  f.stamp[1] = 22;
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15));
  ASSERT_TRUE(FM_CLOSE(f.handle.get(), 0));
  FmFdb o = seq_fdb("APP", "01", "STAMPED", FM_PT_STRUCT);
  o.stamp[0] = 11;
  o.stamp[1] = 23;
  EXPECT_TRUE(fails_with(FM_OPEN(&o, com.depth, FM_OPT_NO_SYSDIR, 15, 15), o, FM_ST_STRUCT));
  EXPECT_TRUE(FM_OPEN(&o, com.depth, FM_OPT_NO_SYSDIR | FM_OPT_NO_STRUCT, 15, 15));
  ASSERT_TRUE(FM_CLOSE(o.handle.get(), 0));
  o.stamp[0] = o.stamp[1] = 0xFFFFFFFFu;
  EXPECT_TRUE(FM_OPEN(&o, com.depth, FM_OPT_NO_SYSDIR, 15, 15));
}

TEST_F(FmFiles, EventProcessEndsAtTheLastClose) {
  static int ends = 0;
  static FmEventProcs procs{};
  procs.end_proc = [](FmFile*) {
    ++ends;
    return 1;
  };
  fm_set_event_procs(&procs);
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_MEMORY, 10, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&f, "EV", "EV", 1);
  ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, 0, 15, 15));
  FmArb* a = f.handle.get();
  fm_set_event_proc(a, alloc(4));
  FmArb* s = FM_ATTACH(a, nullptr, com.depth);
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(fm_detach(s));
  EXPECT_EQ(ends, 0);
  ASSERT_TRUE(FM_CLOSE(a, 0));
  EXPECT_EQ(ends, 1);
  FmFdb g = f;
  ASSERT_TRUE(FM_OPEN(&g, com.depth, 0, 15, 15));
  fm_set_event_proc(g.handle.get(), alloc(4));
  ASSERT_TRUE(FM_CLOSE(g.handle.get(), FM_CL_NO_EVENT));
  EXPECT_EQ(ends, 1);
  fm_set_event_procs(nullptr);
}
