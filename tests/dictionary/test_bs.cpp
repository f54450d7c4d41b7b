// The SUMMARY text and the bootstrap: what bld_sum_fi writes is what the
// bootstrap builds (descriptors, keys, segments, byte order, images), the
// edge cases of both formats, and the conversions of STMT operands.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "dictionary/bs.h"
#include "dictionary/bs_support.h"
#include "dictionary/dd2.h"
#include "files/fmcat.h"
#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/mm.h"

namespace {

using bst::kTestfiLen;

// A compile context of 0LA 00 whose SUMMARY text is at path (empty: the
// dictionary's SUMMARY file).
DdCtx sum_ctx(const std::string& path) {
  DdCtx ctx;
  std::memcpy(ctx.app, "0LA", 3);
  std::memcpy(ctx.ver, "00", 2);
  ctx.summary = path;
  return ctx;
}

struct Dirs {
  std::string root = bst::temp_dir("bsroot"), gen = bst::temp_dir("bsgen"), target = bst::temp_dir("bsdata");
  ~Dirs() {
    std::error_code ec;
    for (auto* d : {&root, &gen, &target}) std::filesystem::remove_all(*d, ec);
    unsetenv("QUVO_BOOT_SRC");
  }
  // Points the file manager at the target and the bootstrap at the root.
  void use_target() {
    setenv("QUVO_BOOT_SRC", root.c_str(), 1);
    setenv("QUVOPATH", target.c_str(), 1);
    fms_init();
  }
  void done() {
    fm_shutdown();
    unsetenv("QUVOPATH");
  }
};

void summary_of(FmFdb* f, const char* app) {
  *f = fm_fdb;
  INIT_SRC_PATH(f, app, "00", "SUMMARY ", FM_PT_DATA);
}

// One record of a raw file: its header (state byte, then length and
// number, big-endian), its bytes and an empty check sum.
void append_raw_rec(std::string& raw, std::string_view body, uint32_t no, uint8_t state = 0) {
  const auto len = uint32_t(body.size());
  char h[12] = {char(state)};
  for (int i = 0; i < 4; ++i) {
    h[4 + i] = char(len >> (24 - 8 * i));
    h[8 + i] = char(no >> (24 - 8 * i));
  }
  raw.append(h, 12).append(body).append(4, '\0');
}
// 0LA's raw TESTFI replaced by raw.
void put_raw_testfi(const std::string& root, const std::string& raw) {
  const std::string path = bs_input_path(root, "0LA", FM_PT_PORT, "TESTFI");
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  bst::spit(path, raw);
}

// 0LA's raw files imported into the data directory (after use_target):
// bs_import's answer, its counts and what it wrote on stderr.
struct Imported {
  int rc = 0;
  BsCounts c;
  std::string err;
};
Imported import_0la() {
  Imported r;
  FmFdb sum, tgt = fm_fdb;
  summary_of(&sum, "0LA");
  INIT_LA_PATH(&tgt, "00", "        ", FM_PT_DATA);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  r.rc = bs_import(&sum, &tgt, &r.c);
  testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

MmPool pool() { return mm_create_pool(" BSTEST    ", 0, 0); }

// The descriptor of TESTFI as its definition says, written out here.
void expected_fdb(FmFdb* f, FmKdb* kdb, FmSdb* sdb) {
  init_sdb_func(sdb + 0, 1, 0, 10, 1, '+');
  INIT_KDB(kdb + 0, 0, '+', 4, sdb, 1);
  for (int i = 0; i < 3; ++i) init_sdb_func(sdb + 1 + i, 2 + i, 10 + 3 * i, 3, 1, '+');
  for (int i = 0; i < 3; ++i) init_sdb_func(sdb + 4 + i, 5 + i, 19 + 3 * i, 3, 1, '-');
  INIT_KDB(kdb + 1, 1, '+', 1, sdb + 1, 6);
  init_sdb_func(sdb + 7, 8, 28, 4, 8, '+');
  init_sdb_func(sdb + 8, 9, 32, 4, 8, '-');
  INIT_KDB(kdb + 2, 2, '-', 3, sdb + 7, 2);
  INIT_FDB(f, 1, kTestfiLen, 0, kdb, 3);
  INIT_LA_PATH(f, "00", "TESTFI  ", FM_PT_DATA);
}

std::vector<fx::Rec> read_all(FmArb* a, int len) {
  std::vector<fx::Rec> out;
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), size_t(len)));
  PROTO_FULL(a, 0, buf);
  a->op = FM_OP_FIRST;
  for (int ok = fm_read(a); ok && out.size() < 100000; a->op = 0, ok = fm_rdnxt(a)) out.emplace_back(buf, buf + len);
  mm_free(buf);
  return out;
}

}  // namespace

TEST(Summary, TheBlockOfAFileWithGroupAndDateKeys) {
  Dirs d;
  ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", {}));
  std::string text = bst::slurp(bs_input_path(d.root, "0LA", FM_PT_DATA, "SUMMARY"));
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  ASSERT_GE(lines.size(), 20u);
  EXPECT_EQ(lines[0], "1");
  EXPECT_EQ(lines[1], "FILE:  TESTFI   1 3 0 112 0 3 9");
  EXPECT_EQ(lines[2], "KEY:  NAME                   + 0 4 1");
  EXPECT_EQ(lines[3], "SEGMENT:  NAME                   + 1 0 10 1");
  EXPECT_EQ(lines[4], "KEY:  CODE GRP               + 1 1 6");
  EXPECT_EQ(lines[5], "SEGMENT:  CODE A                 + 2 10 3 1");
  EXPECT_EQ(lines[7], "SEGMENT:  CODE A                 + 4 16 3 1");
  EXPECT_EQ(lines[8], "SEGMENT:  CODE B                 - 5 19 3 1");
  EXPECT_EQ(lines[10], "SEGMENT:  CODE B                 - 7 25 3 1");
  EXPECT_EQ(lines[11], "KEY:  STAMP                  - 2 3 2");
  EXPECT_EQ(lines[12], "SEGMENT:  STAMP                  + 8 28 4 8");
  EXPECT_EQ(lines[13], "SEGMENT:  STAMP                  - 9 32 4 8");
  EXPECT_EQ(lines[14], "NAME                   1 1 0 10");
  EXPECT_EQ(lines[17], "STAMP                  1 7 28 8");
  // 112 bytes: two full dump lines and one of 32 bytes, per image.
  EXPECT_EQ(lines[23].size(), 80u);
  EXPECT_EQ(lines[25].size(), 64u);
  EXPECT_EQ(lines.size(), 29u);
  // The NULL image: the binary date all ones.
  EXPECT_EQ(lines[26].substr(56, 16), "FFFFFFFFFFFFFFFF");
  // A second compile of the file appends a second block, no second "1".
  setenv("QUVOPATH", d.gen.c_str(), 1);
  fms_init();
  DdCtx ctx = sum_ctx(bs_input_path(d.root, "0LA", FM_PT_DATA, "SUMMARY"));
  fx::Rec file = bst::testfi_file();
  ASSERT_EQ(bld_sum_fi(&ctx, &rec::view<DFile>(file.data())), 1) << ctx.error;
  fm_shutdown();
  std::string twice = bst::slurp(ctx.summary);
  EXPECT_EQ(twice, text + text.substr(2));
  SumReader r;
  ASSERT_TRUE(r.open(ctx.summary)) << r.error();
  SumBlock b, end;
  EXPECT_EQ(r.next(&b), 1) << r.error();
  EXPECT_EQ(r.next(&b), 1) << r.error();
  EXPECT_EQ(r.next(&end), 0) << r.error();
  EXPECT_EQ(sum_block_text(b), text.substr(2));
  // Without DD_SUMMARY_FILE and a path, nothing is written.
  unsetenv("DD_SUMMARY_FILE");
  ctx.summary.clear();
  EXPECT_EQ(bld_sum_fi(&ctx, &rec::view<DFile>(file.data())), 0);
  unsetenv("QUVOPATH");
}

// The SUMMARY lies in the group's data directory: a link planted under its
// name (symbolic or hard, to the user's profile, say) or a pipe is refused
// with the reason, the link's target untouched; a regular file is appended
// to again.
TEST(Summary, APlantedLinkOrPipeIsRefused) {
  Dirs d;
  ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", {}));
  setenv("QUVOPATH", d.gen.c_str(), 1);
  setenv("DD_SUMMARY_FILE", "1", 1);
  fms_init();
  FmFdb sum;
  summary_of(&sum, "0LA");
  std::string path;
  ASSERT_TRUE(fm_os_path(&sum, &path));
  std::string profile = d.root + "/profile";
  std::ofstream(profile) << "PATH=/bin\n";
  DdCtx ctx = sum_ctx("");
  fx::Rec file = bst::testfi_file();
  for (int kind = 0; kind < 3; ++kind) {
    std::filesystem::remove(path);
    ASSERT_EQ(kind == 0   ? symlink(profile.c_str(), path.c_str())
              : kind == 1 ? link(profile.c_str(), path.c_str())
                          : mkfifo(path.c_str(), 0660),
              0);
    ctx.error.clear();
    EXPECT_EQ(bld_sum_fi(&ctx, &rec::view<DFile>(file.data())), -1);
    const char* why[] = {"symbolic link", "hard link", "not a regular file"};
    EXPECT_NE(ctx.error.find(why[kind]), std::string::npos) << ctx.error;
  }
  EXPECT_EQ(bst::slurp(profile), "PATH=/bin\n");
  std::filesystem::remove(path);
  EXPECT_EQ(bld_sum_fi(&ctx, &rec::view<DFile>(file.data())), 1) << ctx.error;
  EXPECT_EQ(bld_sum_fi(&ctx, &rec::view<DFile>(file.data())), 1) << ctx.error;
  std::string text = bst::slurp(path);
  EXPECT_EQ(text.substr(0, 2), "1\n");
  EXPECT_EQ(text.find("\n1\n"), std::string::npos);
  fm_shutdown();
  unsetenv("DD_SUMMARY_FILE");
  unsetenv("QUVOPATH");
}

// Another process that holds the SUMMARY's lock (any member may open it)
// keeps a compile waiting only until the user cancels; nothing is appended.
TEST(Summary, AWaitForAnotherHoldersLockEndsWhenCancelled) {
  Dirs d;
  ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", {}));
  std::string path = bs_input_path(d.root, "0LA", FM_PT_DATA, "SUMMARY");
  const std::string before = bst::slurp(path);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    int fd = ::open(path.c_str(), O_RDWR);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLK, &lk) != 0) _exit(1);
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  setenv("QUVOPATH", d.gen.c_str(), 1);
  fms_init();
  DdCtx ctx = sum_ctx(path);
  fx::Rec file = bst::testfi_file();
  static auto at = std::chrono::steady_clock::now();
  at = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  uio_set_cancel_check([] { return std::chrono::steady_clock::now() > at; });
  EXPECT_EQ(bld_sum_fi(&ctx, &rec::view<DFile>(file.data())), -1);
  uio_set_cancel_check(nullptr);
  EXPECT_NE(ctx.error.find(std::strerror(ECANCELED)), std::string::npos) << ctx.error;
  ::kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(bst::slurp(path), before);
  fm_shutdown();
  unsetenv("QUVOPATH");
}

TEST(Summary, DumpLinesHoldFortyBytes) {
  SumBlock b;
  b.name = "X       ";
  b.ftype = 1;
  b.org = 2;
  b.rec_len = 12;
  b.init.assign(12, 0xAB);
  b.null.assign(12, 0x01);
  EXPECT_EQ(sum_block_text(b), "FILE:  X        1 2 0 12 0 0 0\n" + std::string(24, 'A').replace(1, 1, "B").substr(0, 0) +
                                   "ABABABABABABABABABABABAB\n010101010101010101010101\n");
  b.rec_len = 80;
  b.init.assign(80, 0);
  b.null.assign(80, 0);
  std::string t = sum_block_text(b);
  EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 5);
  EXPECT_NE(t.find("\n" + std::string(80, '0') + "\n" + std::string(80, '0') + "\n"), std::string::npos);
}

TEST(Summary, TheReaderRefusesDamageWithFileAndLine) {
  Dirs d;
  ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", {}));
  std::string path = bs_input_path(d.root, "0LA", FM_PT_DATA, "SUMMARY");
  const std::string good = bst::slurp(path);
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return t.replace(at, from.size(), to);
  };
  struct Case {
    std::string text;
    int line;
    const char* what;
  } cases[] = {
      {"2\n" + good.substr(2), 1, "bad summary header"},
      {replace("112 0 3 9", "112 0 18 9"), 2, "bad file"},            // key count above 17
      {replace("1 3 0 112", "1 3 0 40000"), 2, "bad file"},          // record length
      {replace("1 3 0 112", "1 3 X 112"), 2, "bad file"},            // byte 14 not a digit
      {replace("112 0 3 9", "112 0 3 900"), 2, "bad file"},          // field count
      {replace("+ 0 4 1\n", "+ 0 4 99\n"), 3, "bad file"},           // segment count
      {replace("+ 1 0 10 1", "+ 1 105 10 1"), 4, "bad seg"},         // past the record
      {replace("+ 1 0 10 1", "+ 1 0 10 7"), 4, "bad seg"},           // segment type
      {replace("STAMP                  1 7 28 8", "STAMP                  99 7 28 8"), 18, "bad fld"},
      {replace("1 1 0 10\n", "1 1 0 10 7\n"), 15, "bad fld"},        // one item too many
      {good.substr(0, good.size() - 30), 29, "bad proto"},          // cut inside the last dump line
      {good.substr(0, good.find("STAMP                  1")), 18, "bad fld"},  // cut at a line end
      {good + "FILE:  SHORT\n", 30, "bad file"},                      // a short FILE line
      {good + "garbage\n", 30, "bad file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 120));
    bst::spit(path, c.text);
    SumReader r;
    SumBlock b;
    int rc = r.open(path) ? 1 : -1;
    while (rc == 1) rc = r.next(&b);
    EXPECT_EQ(rc, -1);
    EXPECT_NE(r.error().find(path + ":" + std::to_string(c.line) + ":"), std::string::npos) << r.error();
    EXPECT_NE(r.error().find(c.what), std::string::npos) << r.error();
  }
}

// Every bound of the reader at its limit (read) and one past it (refused):
// the block is made by sum_block_text, so only the bound under test moves.
TEST(Summary, TheReaderTakesEachBoundAndRefusesOnePast) {
  Dirs d;
  std::string path = d.root + "/SUMMARY";
  auto block = [](const std::function<void(SumBlock&)>& change) {
    SumBlock b;
    b.name = "X";
    b.ftype = 1;
    b.org = 3;
    b.rec_len = 300;
    b.keys.push_back({"K", '+', 0, 4, {{"K", '+', 1, 0, 4, 1}}});
    b.fields.push_back({"K", 1, 1, 0, 4});
    change(b);
    b.init.assign(size_t(b.rec_len), 0x5A);
    b.null.assign(size_t(b.rec_len), 0xA5);
    return "1\n" + sum_block_text(b);
  };
  auto edit = [](std::string t, const std::string& from, const std::string& to) {
    size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? t : t.replace(at, from.size(), to);
  };
  auto segs = [](int n, int len) {
    std::vector<SumSeg> v;
    for (int i = 0; i < n; ++i) v.push_back({"K", '+', i + 1, i * len, len, 1});
    return v;
  };
  const std::string base = block([](SumBlock&) {});
  const std::string field = "K                      1 1 0 4\n";
  struct Case {
    const char* what;
    std::string text;
    bool ok;
  } cases[] = {
      {"base", base, true},
      {"record length 32767", block([](SumBlock& b) { b.rec_len = 32767; }), true},
      {"record length 32768", block([](SumBlock& b) { b.rec_len = 32768; }), false},
      {"organisation 0", block([](SumBlock& b) { b.org = 0; }), false},
      {"fields as many as bytes", block([](SumBlock& b) { b.fields.assign(300, b.fields[0]); }), true},
      {"one field more than bytes", block([](SumBlock& b) { b.fields.assign(301, b.fields[0]); }), false},
      {"key number 16", block([](SumBlock& b) { b.keys[0].key_no = 16; }), true},
      {"key number 17", block([](SumBlock& b) { b.keys[0].key_no = 17; }), false},
      {"64 segments", block([&](SumBlock& b) { b.keys[0].segs = segs(64, 1); }), true},
      {"65 segments", block([&](SumBlock& b) { b.keys[0].segs = segs(65, 1); }), false},
      {"no segment", block([&](SumBlock& b) { b.keys[0].segs.clear(); }), false},
      {"key of 255 bytes", block([&](SumBlock& b) { b.keys[0].segs = segs(5, 51); }), true},
      {"key of 256 bytes", block([&](SumBlock& b) { b.keys[0].segs = segs(4, 64); }), false},
      {"segment ends the record", block([](SumBlock& b) { b.keys[0].segs[0].offset = 296; }), true},
      {"segment one past", block([](SumBlock& b) { b.keys[0].segs[0].offset = 297; }), false},
      {"binary segment of 8", block([](SumBlock& b) { b.keys[0].segs[0] = {"K", '+', 1, 0, 8, 8}; }), true},
      {"binary segment of 9", block([](SumBlock& b) { b.keys[0].segs[0] = {"K", '+', 1, 0, 9, 8}; }), false},
      {"no occurrence", block([](SumBlock& b) { b.fields[0].occurs = 0; }), false},
      {"data type 16", block([](SumBlock& b) { b.fields[0].type = 16; }), true},
      {"data type 17", block([](SumBlock& b) { b.fields[0].type = 17; }), false},
      {"occurrences end the record", block([](SumBlock& b) { b.fields[0] = {"K", 74, 1, 4, 4}; }), true},
      {"occurrences one past", block([](SumBlock& b) { b.fields[0] = {"K", 74, 1, 5, 4}; }), false},
      {"key order", edit(base, "KEY:  K                      +", "KEY:  K                      x"), false},
      {"key name into its order", edit(base, "K                      + 0", "K                     Z+ 0"), false},
      {"a NUL after a line's items", edit(base, field, "K                      1 1 0 4" + std::string(1, '\0') + " 9\n"), false},
      {"lower-case hex", edit(base, "5A5A", "5a5a"), true},
      {"not hex", edit(base, "5A5A", "5G5A"), false},
      {"dump line one digit long", edit(base, "A5A5\n", "A5A50\n"), false},
      {"line of 4097", edit(base, field, "K" + std::string(4088, ' ') + " 1 1 0 4\n"), true},
      {"line of 4098", edit(base, field, "K" + std::string(4089, ' ') + " 1 1 0 4\n"), false},
      {"a FILE line without its newline", base + "FILE:  X        1 3 0 300 0 1 1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bst::spit(path, c.text);
    SumReader r;
    SumBlock b;
    ASSERT_TRUE(r.open(path)) << r.error();
    int rc = r.next(&b);
    if (rc == 1) rc = r.next(&b);
    EXPECT_EQ(rc, c.ok ? 0 : -1) << r.error();
    EXPECT_EQ(r.error().rfind(path + ":", 0) == 0, !c.ok) << r.error();
  }
}

TEST(Bootstrap, BuildsTheFilesTheSummaryDescribes) {
  Dirs d;
  auto recs = bst::testfi_records(250);
  ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", recs));
  d.use_target();
  BsCounts c;
  FmFdb sum, tgt = fm_fdb;
  summary_of(&sum, "0LA");
  INIT_LA_PATH(&tgt, "00", "        ", FM_PT_DATA);
  testing::internal::CaptureStdout();
  EXPECT_EQ(bs_load_init(&sum, &c), 1);
  EXPECT_EQ(bs_import(&sum, &tgt, &c), 1);
  EXPECT_EQ(bs_bld_struct(&sum, &tgt, &c), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(c.failures, 0);
  EXPECT_EQ(c.records, 250);
  EXPECT_EQ(c.images, 2);
  // Every 100th record prints a dot: 250 print two.
  EXPECT_NE(out.find(bs_input_path(d.root, "0LA", FM_PT_PORT, "TESTFI") + "..\n"), std::string::npos) << out;

  // The file opens, with the structure check, under the descriptor written
  // out independently: same record length, keys, segments and orders.
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * 4));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * 12));
  FmFdb f;
  expected_fdb(&f, kdb, sdb);
  ASSERT_EQ(FM_OPEN(&f, com.depth, FM_OPT_NO_SYSDIR, 1, 15), 1) << f.status.get();
  std::vector<fx::Rec> got = read_all(f.handle.get(), kTestfiLen);
  FM_CLOSE(f.handle.get(), 0);
  ASSERT_EQ(got.size(), recs.size());
  for (size_t i = 0; i < recs.size(); ++i) ASSERT_EQ(got[i], recs[i]) << "record " << i;
  // A descriptor that differs in one segment's order is refused.
  expected_fdb(&f, kdb, sdb);
  sdb[5].order = '+';
  EXPECT_EQ(FM_OPEN(&f, com.depth, FM_OPT_NO_SYSDIR, 1, 15), 0);
  EXPECT_EQ(f.status.get(), FM_ST_STRUCT);

  // The images, in this engine's order, in the INITIAL file of "0LA".
  FmFdb ini;
  INIT_DINIT_FDB(&ini, kdb, sdb, "0LA", "00");
  ASSERT_EQ(FM_OPEN(&ini, com.depth, FM_OPT_NO_SYSDIR, 1, 15), 1);
  std::vector<fx::Rec> pieces = read_all(ini.handle.get(), DINIT_HEAD + kTestfiLen);
  FM_CLOSE(ini.handle.get(), 0);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(fx::Rec(pieces[0].begin() + DINIT_HEAD, pieces[0].end()), bst::image(1));
  EXPECT_EQ(fx::Rec(pieces[1].begin() + DINIT_HEAD, pieces[1].end()), bst::image(2));
  d.done();
}

TEST(Bootstrap, RawFileEdgeCases) {
  Dirs d;
  auto recs = bst::testfi_records(3);
  // A record already present is reported with its ordinal and skipped.
  recs.insert(recs.begin() + 1, recs[0]);
  ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", recs, kRawShort));
  d.use_target();
  BsCounts c;
  FmFdb sum, tgt = fm_fdb;
  summary_of(&sum, "0LA");
  INIT_LA_PATH(&tgt, "00", "        ", FM_PT_DATA);
  // Configured sign nibbles other than C and D: a negative packed number
  // keeps its sign.
  uint8_t pos = com.pd_pos, neg = com.pd_neg;
  com.pd_pos = 0x0A;
  com.pd_neg = 0x0B;
  testing::internal::CaptureStdout();
  EXPECT_EQ(bs_import(&sum, &tgt, &c), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Already on file at record 2 in " + bs_input_path(d.root, "0LA", FM_PT_PORT, "TESTFI")),
            std::string::npos)
      << out;
  EXPECT_EQ(c.records, 3);
  EXPECT_EQ(c.failures, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * 4));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * 12));
  FmFdb f;
  expected_fdb(&f, kdb, sdb);
  ASSERT_EQ(FM_OPEN(&f, com.depth, FM_OPT_NO_SYSDIR, 1, 15), 1) << f.status.get();
  std::vector<fx::Rec> got = read_all(f.handle.get(), kTestfiLen);
  FM_CLOSE(f.handle.get(), 0);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1][46 + 4] & 0x0F, 0x0B);  // record 1: price -13
  EXPECT_EQ(got[2][46 + 4] & 0x0F, 0x0A);  // record 2: price 26
  com.pd_pos = pos;
  com.pd_neg = neg;

  // A missing raw file: no output from the import; the structure step still
  // creates the file.
  std::filesystem::remove(bs_input_path(d.root, "0LA", FM_PT_PORT, "TESTFI"));
  FM_SCRATCH(&f, 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(bs_import(&sum, &tgt, &c), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(bs_bld_struct(&sum, &tgt, &c), 1);
  expected_fdb(&f, kdb, sdb);
  ASSERT_EQ(FM_OPEN(&f, com.depth, FM_OPT_NO_SYSDIR, 1, 15), 1) << f.status.get();
  EXPECT_EQ(read_all(f.handle.get(), kTestfiLen).size(), 0u);
  FM_CLOSE(f.handle.get(), 0);
  d.done();
}

// A checksummed raw file ends with its end record and its trailer: a byte
// after it, or a trailer that does not match, is damage.
TEST(Bootstrap, TheEndRecordOfAChecksummedFileIsChecked) {
  for (int kind : {0, 1, 2}) {  // as written; a byte after the end; the end's trailer changed
    SCOPED_TRACE(kind);
    Dirs d;
    ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", bst::testfi_records(2)));
    std::string raw = bs_input_path(d.root, "0LA", FM_PT_PORT, "TESTFI");
    std::string w = bst::slurp(raw);
    if (kind == 1) w += 'x';
    if (kind == 2) w.back() = char(w.back() ^ 1);
    bst::spit(raw, w);
    d.use_target();
    auto [rc, c, err] = import_0la();
    EXPECT_EQ(rc, kind == 0 ? 1 : 0) << err;
    EXPECT_EQ(c.records, 2);
    const char* says = kind == 0 ? "" : kind == 1 ? ": bytes follow" : ": the end record is damaged";
    EXPECT_EQ(err.find(raw + says) == std::string::npos, kind == 0) << err;
    d.done();
  }
}

TEST(Bootstrap, ShortFixedRecordTakesItsTailFromTheInitialImage) {
  Dirs d;
  ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", {}));
  // A raw file by hand (no check sums; the short-length flag without its
  // mark: lengths are u32): a long record, then one of 20 bytes.
  auto recs = bst::testfi_records(2);
  auto f = bst::plain(bst::testfi_fields());
  std::vector<BsLayout> lay;
  for (const DictField& x : f) lay.push_back({x.type, x.offset, x.width, x.occurs});
  std::string raw(kRawHead, '\0');
  raw[1] = char(kRawShort);
  for (int i = 0; i < 2; ++i) {
    fx::Rec r = recs[size_t(i)];
    adjust_rec_raw(r.data(), kTestfiLen, lay.data(), int(lay.size()));
    int len = i == 0 ? kTestfiLen : 20;
    append_raw_rec(raw, std::string_view(reinterpret_cast<char*>(r.data()), size_t(len)), uint32_t(i + 1));
  }
  put_raw_testfi(d.root, raw);
  d.use_target();
  BsCounts c;
  FmFdb sum, tgt = fm_fdb;
  summary_of(&sum, "0LA");
  INIT_LA_PATH(&tgt, "00", "        ", FM_PT_DATA);
  // The tail is turned into this engine's order with the record: its
  // packed sign takes the configured nibble.
  uint8_t pos = com.pd_pos, neg = com.pd_neg;
  com.pd_pos = 0x0A;
  com.pd_neg = 0x0B;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(bs_import(&sum, &tgt, &c), 1);
  testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  com.pd_pos = pos;
  com.pd_neg = neg;
  EXPECT_NE(err.find("bad rec len"), std::string::npos) << err;
  EXPECT_EQ(c.warnings, 1);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * 4));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * 12));
  FmFdb t;
  expected_fdb(&t, kdb, sdb);
  ASSERT_EQ(FM_OPEN(&t, com.depth, FM_OPT_NO_SYSDIR, 1, 15), 1);
  std::vector<fx::Rec> got = read_all(t.handle.get(), kTestfiLen);
  FM_CLOSE(t.handle.get(), 0);
  ASSERT_EQ(got.size(), 2u);
  fx::Rec want = bst::image(1);
  std::memcpy(want.data(), recs[1].data(), 20);
  want[46 + 4] = uint8_t((want[46 + 4] & 0xF0) | 0x0A);  // PRICE 0
  EXPECT_EQ(got[1], want);
  d.done();
}

// Records that are not live (either of the low two bits of the state byte
// set) are skipped, up to one byte longer than the longest record; a longer
// one is damage. A live record's other state bits do not matter.
TEST(Bootstrap, RecordsNotLiveAreSkippedUpToTheLongestRecord) {
  auto recs = bst::testfi_records(2);
  auto f = bst::plain(bst::testfi_fields());
  std::vector<BsLayout> lay;
  for (const DictField& x : f) lay.push_back({x.type, x.offset, x.width, x.occurs});
  for (uint32_t dead_len : {uint32_t(FM_MAX_REC + 1), uint32_t(FM_MAX_REC + 2)}) {
    SCOPED_TRACE(dead_len);
    Dirs d;
    ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", {}));
    std::string raw(kRawHead, '\0');
    auto put = [&](uint8_t state, const std::string& body) { append_raw_rec(raw, body, 0, state); };
    auto body = [&](int i) {
      fx::Rec r = recs[size_t(i)];
      adjust_rec_raw(r.data(), kTestfiLen, lay.data(), int(lay.size()));
      return std::string(r.begin(), r.end());
    };
    put(0, body(0));
    put(1, std::string(dead_len, 'x'));
    put(2, "short");
    put(3, std::string(kTestfiLen, 'y'));
    put(0xFC, body(1));
    put_raw_testfi(d.root, raw);
    d.use_target();
    auto [rc, c, err] = import_0la();
    if (dead_len > FM_MAX_REC + 1) {
      EXPECT_EQ(rc, 0);
      EXPECT_NE(err.find("TESTFI: record 2: a record of 32769 bytes"), std::string::npos) << err;
      d.done();
      continue;
    }
    ASSERT_EQ(rc, 1) << err;
    EXPECT_EQ(c.records, 2);
    EXPECT_EQ(c.warnings, 0) << err;
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * 4));
    auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * 12));
    FmFdb t;
    expected_fdb(&t, kdb, sdb);
    ASSERT_EQ(FM_OPEN(&t, com.depth, FM_OPT_NO_SYSDIR, 1, 15), 1);
    EXPECT_EQ(read_all(t.handle.get(), kTestfiLen), recs);
    FM_CLOSE(t.handle.get(), 0);
    d.done();
  }
}

// A live record one byte longer than its file's records is damage: the
// import fails, naming the record (a record of the length itself is taken,
// as above).
TEST(Bootstrap, ARecordOneByteLongerThanItsFileIsRefused) {
  Dirs d;
  ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", {}));
  fx::Rec r = bst::testfi_records(1)[0];
  r.push_back(0);
  std::string raw(kRawHead, '\0');
  append_raw_rec(raw, std::string_view(reinterpret_cast<char*>(r.data()), r.size()), 1);
  put_raw_testfi(d.root, raw);
  d.use_target();
  auto [rc, c, err] = import_0la();
  EXPECT_EQ(rc, 0);
  EXPECT_NE(err.find("record 1: copy_recs() - rec to long (113 bytes"), std::string::npos) << err;
  EXPECT_EQ(c.failures, 1);
  d.done();
}

// A single-record file (organisation 1) is the record image and the
// CRC-32C of its bytes. A fixed record is taken at its length only; a
// variable one at one byte up to its length. A record one byte longer, a
// fixed one a byte short, or a file of the trailer alone is damage, even
// when its check sum matches, and so is a byte changed: the import fails
// naming the file. An empty file is an empty file.
TEST(Bootstrap, ASingleRecordFileIsTakenAtItsLengthAndRefusedOnePast) {
  constexpr int kLen = 20;
  struct Case {
    int var, bytes;  // bytes -1: an empty file; -2: 20 bytes, the last changed
    const char* error;  // null: taken
  } cases[] = {{0, -1, nullptr},             {0, -2, "check sum does not match"},
               {0, kLen, nullptr},           {0, kLen + 1, "rec to long"}, {0, kLen - 1, "cut short: 19 of 20"},
               {0, 0, "cut short: 4 bytes"}, {1, kLen, nullptr},          {1, kLen - 1, nullptr},
               {1, 1, nullptr},              {1, kLen + 1, "rec to long"}, {1, 0, "cut short: 4 bytes"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.var) + "/" + std::to_string(k.bytes));
    Dirs d;
    SumBlock b;
    b.name = "ONE     ";
    b.ftype = 1;
    b.org = FM_ORG_SINGLE;
    b.var = k.var;
    b.rec_len = kLen;
    b.fields.push_back({"ALL", 1, 1, 0, kLen});
    b.init.assign(kLen, ' ');
    b.null.assign(kLen, ' ');
    std::string sum = bs_input_path(d.root, "0LA", FM_PT_DATA, "SUMMARY");
    std::string raw = bs_input_path(d.root, "0LA", FM_PT_PORT, "ONE");
    std::filesystem::create_directories(std::filesystem::path(sum).parent_path());
    std::filesystem::create_directories(std::filesystem::path(raw).parent_path());
    bst::spit(sum, "1\n" + sum_block_text(b));
    std::string rec;
    for (int i = 0; i < (k.bytes == -2 ? kLen : k.bytes); ++i) rec += char('A' + i % 26);
    uint32_t crc = uio_crc32c(rec.data(), rec.size());
    if (k.bytes == -2) rec.back() = 'z';
    bst::spit(raw, k.bytes == -1 ? "" : rec + std::string{char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)});
    d.use_target();
    auto [rc, c, err] = import_0la();
    if (k.error) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(c.records, 0);
      EXPECT_NE(err.find(raw + ": "), std::string::npos) << err;
      EXPECT_NE(err.find(k.error), std::string::npos) << err;
      d.done();
      continue;
    }
    ASSERT_EQ(rc, 1) << err;
    EXPECT_EQ(c.records, k.bytes < 0 ? 0 : 1);
    if (k.bytes < 0) {
      d.done();
      continue;
    }
    FmFdb f;
    INIT_FDB(&f, 1, kLen, k.var, nullptr, 0);
    f.org = FM_ORG_SINGLE;
    INIT_LA_PATH(&f, "00", "ONE     ", FM_PT_DATA);
    ASSERT_EQ(FM_OPEN(&f, com.depth, FM_OPT_NO_SYSDIR, 1, 15), 1) << f.status.get();
    FmArb* a = f.handle.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), kLen));
    a->rec.set(buf);
    a->rec_len = kLen;
    a->rid = 1;
    a->op = FM_OP_RID;
    ASSERT_TRUE(fm_read(a)) << a->status.get();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), a->len_read.get()), rec);
    FM_CLOSE(a, 0);
    mm_free(buf);
    d.done();
  }
}

TEST(Bootstrap, ImagesArePiecesOfAThousandBytes) {
  Dirs d;
  std::string sum = bs_input_path(d.root, "0DB", FM_PT_DATA, "SUMMARY");
  std::filesystem::create_directories(std::filesystem::path(sum).parent_path());
  std::string text = "1\n";
  for (int len : {2000, 1001, 1000}) {
    SumBlock b;
    b.name = "BIG" + std::to_string(len);
    b.name.resize(8, ' ');
    b.ftype = 1;
    b.org = 2;
    b.rec_len = len;
    b.fields.push_back({"ALL", 1, 1, 0, len});
    b.init.assign(size_t(len), 'i');
    b.null.assign(size_t(len), 'n');
    text += sum_block_text(b);
  }
  bst::spit(sum, text);
  d.use_target();
  BsCounts c;
  FmFdb s;
  summary_of(&s, "0DB");
  ASSERT_EQ(bs_load_init(&s, &c), 1);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * 4));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * 12));
  FmFdb ini;
  INIT_DINIT_FDB(&ini, kdb, sdb, "0DB", "00");
  ASSERT_EQ(FM_OPEN(&ini, com.depth, FM_OPT_NO_SYSDIR, 1, 15), 1);
  FmArb* a = ini.handle.get();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), sizeof(DInit)));
  PROTO_FULL(a, 0, buf);
  a->op = FM_OP_FIRST;
  std::vector<std::string> seen;
  for (int ok = fm_read(a); ok; a->op = 0, ok = fm_rdnxt(a)) {
    const DInit& r = rec::view<DInit>(buf);
    seen.push_back(r.file.str() + "/" + std::to_string(r.kind) + "/" + std::to_string(r.seq.get()) + ":" +
                   std::to_string(a->len_read.get()));
  }
  FM_CLOSE(a, 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"BIG1000/1/1:1013", "BIG1000/2/1:1013", "BIG1001/1/1:1013",
                                            "BIG1001/1/2:14", "BIG1001/2/1:1013", "BIG1001/2/2:14",
                                            "BIG2000/1/1:1013", "BIG2000/1/2:1013", "BIG2000/2/1:1013",
                                            "BIG2000/2/2:1013"}));
  d.done();
}

TEST(Bootstrap, StatementOccurrenceWordsOfEveryVerbThatHasThem) {
  struct Case {
    int verb;
    std::vector<int> at;
  } cases[] = {{3, {88, 118}},  {6, {100}},     {7, {88, 92, 96, 100}}, {12, {88}},     {57, {88, 118, 122, 126}},
               {73, {88, 92, 100, 104}}, {77, {118}}, {17, {88, 118}},        {19, {88, 118}}, {96, {88}},
               {97, {88}},      {98, {116}},    {100, {116}},           {2, {}},        {104, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verb);
    fx::Rec s(sizeof(DStmt), 0);
    rec::view<DStmt>(s.data()).verb = uint16_t(c.verb);
    // Every 4-byte word of the operand area: occurrence 0x0102 in big-endian
    // order at its offset 2, 0 at 0.
    for (int o = 88; o + 4 <= 152; o += 2) {
      s[size_t(o)] = 0;
      s[size_t(o) + 1] = 0;
    }
    for (int o : {88, 92, 96, 100, 104, 116, 118, 122, 126}) {
      s[size_t(o) + 2] = 0x01;
      s[size_t(o) + 3] = 0x02;
    }
    fx::Rec before = s;
    adjust_stmt(s.data());
    for (int o : {88, 92, 96, 100, 104, 116, 118, 122, 126}) {
      bool conv = std::find(c.at.begin(), c.at.end(), o) != c.at.end();
      EXPECT_EQ(s[size_t(o) + 2], conv ? 0x02 : 0x01) << o;
      EXPECT_EQ(s[size_t(o) + 3], conv ? 0x01 : 0x02) << o;
    }
    adjust_stmt(s.data());
    EXPECT_EQ(s, before);
  }
  // A word whose second half is 0 after the swap has its first half swapped.
  uint8_t w[4] = {0x01, 0x02, 0, 0};
  adjust_occ(w);
  EXPECT_EQ(w[0], 0x02);
  EXPECT_EQ(w[1], 0x01);
}

// The byte order of a record's numbers turns only fields whose bytes lie
// wholly inside the record: one that runs a byte past a short record (a
// variable record, a record cut short) is left as it is, and the byte past
// the record is never touched. A field that ends the record is turned.
TEST(Bootstrap, ByteOrderTurnsOnlyFieldsInsideTheRecord) {
  struct Case {
    uint16_t type, length;
  } cases[] = {{5, 2}, {5, 4}, {7, 4}, {7, 8}, {8, 3}, {12, 9}};
  for (const Case& k : cases) {
    for (int len : {16 + k.length, 16 + k.length - 1}) {
      SCOPED_TRACE(std::to_string(k.type) + "/" + std::to_string(k.length) + " in " + std::to_string(len));
      BsLayout lay{k.type, 16, k.length, 1};
      std::vector<uint8_t> rec(32);
      for (size_t i = 0; i < rec.size(); ++i) rec[i] = uint8_t(0x11 * (i % 15 + 1));
      const std::vector<uint8_t> before = rec;
      adjust_rec(rec.data(), len, &lay, 1);
      // Inside: binary numbers and each 4-byte half of a date reversed, the
      // sign nibble of a packed number (not D: positive) the configured one.
      std::vector<uint8_t> want = before;
      if (len == 16 + k.length) {
        auto* p = want.data() + 16;
        if (k.type == 5) std::reverse(p, p + k.length);
        if (k.type == 7)
          for (int h = 0; h < k.length; h += 4) std::reverse(p + h, p + h + 4);
        if (k.type == 8 || k.type == 12) {
          uint8_t& sign = p[k.type == 8 ? k.length - 1 : 7];
          sign = uint8_t((sign & 0xF0) | (com.pd_pos & 0x0F));
        }
        ASSERT_NE(want, before);
      }
      EXPECT_EQ(rec, want);
      EXPECT_TRUE(std::equal(rec.begin() + len, rec.end(), before.begin() + len));
      adjust_rec_raw(rec.data(), len, &lay, 1);
      EXPECT_TRUE(std::equal(rec.begin() + len, rec.end(), before.begin() + len));
    }
  }
}

// A type-12 field is 8 packed bytes and a scale byte: its sign is the low
// nibble of the eighth byte (D negative, C positive in the raw form, the
// configured nibbles here); the scale byte is never changed.
TEST(Bootstrap, TheSignOfATypeTwelveFieldIsItsEighthBytesLowNibble) {
  uint8_t pos = com.pd_pos, neg = com.pd_neg;
  com.pd_pos = 0x0A;
  com.pd_neg = 0x0B;
  BsLayout lay{12, 2, 9, 2};
  // -1250 with scale 2, then +7 with scale 0, after two leading bytes.
  const std::vector<uint8_t> engine = {0xEE, 0xEE, 0, 0, 0, 0, 0, 0x01, 0x25, 0x0B, 0x02,
                                       0,    0,    0, 0, 0, 0, 0, 0x7A, 0x00};
  std::vector<uint8_t> raw = engine;
  raw[9] = 0x0D;
  raw[18] = 0x7C;
  std::vector<uint8_t> rec = engine;
  adjust_rec_raw(rec.data(), int(rec.size()), &lay, 1);
  EXPECT_EQ(rec, raw);
  adjust_rec(rec.data(), int(rec.size()), &lay, 1);
  EXPECT_EQ(rec, engine);
  com.pd_pos = pos;
  com.pd_neg = neg;
}

TEST(Summary, AppendsOfManyProcessesNeverInterleave) {
  Dirs d;
  ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0LA", {}));
  std::string path = bs_input_path(d.root, "0LA", FM_PT_DATA, "SUMMARY");
  const std::string block = bst::slurp(path).substr(2);
  std::filesystem::remove(path);
  // Four processes append 25 blocks each, one write per block under the
  // file lock; the header is written once.
  std::vector<pid_t> kids;
  for (int k = 0; k < 4; ++k) {
    pid_t p = fork();
    if (p == 0) {
      setenv("QUVOPATH", d.gen.c_str(), 1);
      fms_init();
      DdCtx ctx = sum_ctx(path);
      fx::Rec file = bst::testfi_file();
      int ok = 1;
      for (int i = 0; i < 25; ++i) ok &= bld_sum_fi(&ctx, &rec::view<DFile>(file.data())) == 1;
      _exit(ok ? 0 : 1);
    }
    kids.push_back(p);
  }
  for (pid_t p : kids) {
    int st = 0;
    waitpid(p, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  std::string all = bst::slurp(path);
  std::string want = "1\n";
  for (int i = 0; i < 100; ++i) want += block;
  EXPECT_EQ(all.size(), want.size());
  EXPECT_TRUE(all == want);
}

TEST(Bootstrap, NoDesignCopyForAnApplicationSkipsOnlyThatCopy) {
  Dirs d;
  ASSERT_TRUE(bst::make_inputs(d.root, d.gen, "0AD", bst::testfi_records(3)));
  for (const char* app : {"0LA", "0DB", "0SA"}) {
    std::string p = bs_input_path(d.root, app, FM_PT_DATA, "SUMMARY");
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    bst::spit(p, "1\n");
  }
  d.use_target();
  setenv("NO_0SA", "1", 1);
  BsCounts c;
  testing::internal::CaptureStdout();
  EXPECT_EQ(bs_bootstrap(&c), 1);
  testing::internal::GetCapturedStdout();
  unsetenv("NO_0SA");
  EXPECT_EQ(c.failures, 0);
  EXPECT_EQ(c.records, 9);
  for (const char* app : {"0AD", "0LA", "0DB"})
    EXPECT_TRUE(std::filesystem::exists(d.target + "/data/dict/" + app + "00/TESTFI")) << app;
  EXPECT_FALSE(std::filesystem::exists(d.target + "/data/dict/0SA00/TESTFI"));
  d.done();
}

// An ELEMENT record of file: element 1, field 1, key 0 (ascending, no
// duplicates), then what more changes.
static fx::Rec element_rec(const char* file, const char* name, int kind, int type, int off, int len, int occ = 1,
                           const std::function<void(DElem&)>& more = {}) {
  fx::Rec r = fx::rec("ELEMENT", {});
  DElem& e = rec::view<DElem>(r.data());
  e.name.set(name);
  e.file.set(file);
  e.kind = uint8_t(kind);
  e.type = uint8_t(type);
  e.offset = uint16_t(off);
  e.length = uint16_t(len);
  e.occurs = uint16_t(occ);
  e.number = 1;
  e.key_kind = 0;
  e.key_order = '+';
  e.key_dups = '0';
  e.field_no = 1;
  if (more) more(e);
  return r;
}

// bld_sum_fi reads ELEMENT, INITIAL and FILE records of the data directory:
// a FILE record whose counts or length the elements and images do not bear
// out is refused, and a 4-byte binary date keys with one segment.
TEST(Summary, TheWriterRefusesCountsAndImagesItsRecordsDoNotBearOut) {
  Dirs d;
  setenv("QUVOPATH", d.gen.c_str(), 1);
  fms_init();
  auto elem = [](const char* file, const char* name, int kind, int type, int off, int len) {
    return element_rec(file, name, kind, type, off, len, 1, [&](DElem& e) { e.ident_stamp[0] = uint8_t(file[0]); });
  };
  ASSERT_EQ(fx::write("ELEMENT", "0LA", "00", {elem("DT4", "D4", 1, 7, 0, 4), elem("ZERO", "DZ", 1, 7, 0, 4)}), 2);
  std::vector<uint8_t> img(20, 0);
  std::vector<fx::Rec> pieces;
  for (int kind = 1; kind <= 2; ++kind) {
    for (auto& p : bst::init_pieces("DT4", kind, img)) pieces.push_back(p);
    // ZERO: a first piece of no bytes, the image in the second.
    auto z = bst::init_pieces("ZERO", kind, img);
    rec::view<DInit>(z[0].data()).seq = 2;
    fx::Rec empty(z[0].begin(), z[0].begin() + DINIT_HEAD);
    rec::view<DInit>(empty.data()).seq = 1;
    pieces.push_back(empty);
    pieces.push_back(z[0]);
  }
  ASSERT_EQ(fx::write("INITIAL", "0LA", "00", pieces), 6);
  auto file = [](const char* name, int rec_len, int keys, int segs) {
    return fx::rec("FILE", {{"name", name}, {"ftype", "1"}, {"org", "3"}, {"b14", "0"}, {"var", "0"},
                            {"rec_len", std::to_string(rec_len)}, {"key_count", std::to_string(keys)},
                            {"seg_count[1]", std::to_string(segs)}, {"key_elem[1]", "1"}});
  };
  struct Case {
    const char* what;
    fx::Rec file;
    const char* error;  // null: written
  } cases[] = {
      {"a 4-byte date key", file("DT4", 20, 1, 1), nullptr},
      {"one segment more than the key has", file("DT4", 20, 1, 2), "FILE says 2"},
      {"18 keys", file("DT4", 20, 18, 1), "key count above 17"},
      {"images longer than the record", file("DT4", 19, 1, 1), "missing INITIAL"},
      {"a piece of no bytes", file("ZERO", 20, 1, 1), "missing INITIAL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(d.root + "/SUMMARY");
    DdCtx ctx = sum_ctx(d.root + "/SUMMARY");
    int rc = bld_sum_fi(&ctx, &rec::view<DFile>(c.file.data()));
    if (!c.error) {
      ASSERT_EQ(rc, 1) << ctx.error;
      SumReader r;
      SumBlock b;
      ASSERT_TRUE(r.open(ctx.summary));
      ASSERT_EQ(r.next(&b), 1) << r.error();
      ASSERT_EQ(b.keys.size(), 1u);
      ASSERT_EQ(b.keys[0].segs.size(), 1u);
      EXPECT_EQ(b.keys[0].segs[0].length, 4);
      EXPECT_EQ(b.keys[0].segs[0].type, 8);
      continue;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_NE(ctx.error.find(c.error), std::string::npos) << ctx.error;
    EXPECT_FALSE(std::filesystem::exists(ctx.summary)) << "nothing is written";
  }
  fm_shutdown();
  unsetenv("QUVOPATH");
}

// An ELEMENT record whose bytes lie past its file's record is a bad
// element: refused, nothing appended, since the reader would refuse the block
// and with it every block appended after it. A key of blank order (the file
// manager's ascending) is written as '+', which the reader takes.
TEST(Summary, AnElementPastItsRecordIsRefusedNotWritten) {
  for (int off : {18, 16}) {  // bytes 18-21 or 16-19 of a record of 20
    Dirs d;
    setenv("QUVOPATH", d.gen.c_str(), 1);
    fms_init();
    fx::Rec el = element_rec("PAST", "K", 1, 1, off, 4, 1, [](DElem& e) { e.key_order = ' '; });
    ASSERT_EQ(fx::write("ELEMENT", "0LA", "00", {el}), 1);
    std::vector<uint8_t> img(20, ' ');
    auto pieces = bst::init_pieces("PAST", 1, img);
    pieces.push_back(bst::init_pieces("PAST", 2, img)[0]);
    ASSERT_EQ(fx::write("INITIAL", "0LA", "00", pieces), 2);
    fx::Rec file = fx::rec("FILE", {{"name", "PAST"}, {"ftype", "1"}, {"org", "3"}, {"b14", "0"}, {"var", "0"},
                                    {"rec_len", "20"}, {"key_count", "1"}, {"seg_count[1]", "1"}, {"key_elem[1]", "1"}});
    DdCtx ctx = sum_ctx(d.root + "/SUMMARY");
    int rc = bld_sum_fi(&ctx, &rec::view<DFile>(file.data()));
    fm_shutdown();
    unsetenv("QUVOPATH");
    if (off == 18) {
      EXPECT_EQ(rc, -1);
      EXPECT_NE(ctx.error.find("bad element"), std::string::npos) << ctx.error;
      EXPECT_FALSE(std::filesystem::exists(ctx.summary));
      continue;
    }
    ASSERT_EQ(rc, 1) << ctx.error;
    SumReader r;
    SumBlock b;
    ASSERT_TRUE(r.open(ctx.summary));
    ASSERT_EQ(r.next(&b), 1) << r.error();
    ASSERT_EQ(b.keys.size(), 1u);
    EXPECT_EQ(b.keys[0].order, '+');
    EXPECT_EQ(b.keys[0].segs[0].order, '+');
  }
}

TEST(Summary, AGroupKeyOverRepeatedDatesCoversEveryOccurrence) {
  Dirs d;
  setenv("QUVOPATH", d.gen.c_str(), 1);
  fms_init();
  auto elem = [](const char* name, int number, int kind, int type, int off, int len, int occ, int fno,
                 const char* last) {
    return element_rec("GRPDT", name, kind, type, off, len, occ, [&](DElem& e) {
      e.number = uint32_t(number);
      e.ident_stamp[4] = uint8_t(number);
      e.key_kind = number == 1 ? 0 : 255;
      e.domain.set(last);
      e.field_no = uint16_t(fno);
    });
  };
  ASSERT_EQ(fx::write("ELEMENT", "0LA", "00",
                      {elem("K", 1, 2, 7, 0, 16, 1, 0, "D"), elem("D", 2, 1, 7, 0, 8, 2, 1, ""),
                       elem("X", 3, 1, 1, 16, 4, 1, 5, "")}),
            3);
  std::vector<uint8_t> img(20, 0);
  auto pieces = bst::init_pieces("GRPDT", 1, img);
  auto nul = bst::init_pieces("GRPDT", 2, img);
  pieces.insert(pieces.end(), nul.begin(), nul.end());
  ASSERT_EQ(fx::write("INITIAL", "0LA", "00", pieces), 2);
  fx::Rec file = fx::rec("FILE", {{"name", "GRPDT"}, {"ftype", "1"}, {"org", "3"}, {"b14", "0"}, {"var", "0"},
                                  {"rec_len", "20"}, {"key_count", "1"}, {"seg_count[1]", "4"}, {"key_elem[1]", "1"}});
  DdCtx ctx = sum_ctx(d.root + "/SUMMARY");
  ASSERT_EQ(bld_sum_fi(&ctx, &rec::view<DFile>(file.data())), 1) << ctx.error;
  fm_shutdown();
  unsetenv("QUVOPATH");
  SumReader r;
  SumBlock b;
  ASSERT_TRUE(r.open(ctx.summary));
  ASSERT_EQ(r.next(&b), 1) << r.error();
  ASSERT_EQ(b.keys.size(), 1u);
  std::vector<std::string> segs;
  for (const SumSeg& s : b.keys[0].segs)
    segs.push_back(std::to_string(s.field) + "@" + std::to_string(s.offset) + "+" + std::to_string(s.length) + "/" +
                   std::to_string(s.type));
  EXPECT_EQ(segs, (std::vector<std::string>{"1@0+4/8", "2@4+4/8", "3@8+4/8", "4@12+4/8"}));
}
