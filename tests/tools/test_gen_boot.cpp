// The generator's output through the real bootstrap: `quvo -b` builds a data
// directory from it; every file it made opens by its catalogue builder with
// the ordinary open, holds exactly the records the sources gave, and every
// INITIAL and NULL image reads back as generated. Damaged copies of it fail
// and change nothing; a run killed at any moment is completed by the next.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <set>

#include "dictionary/bs.h"
#include "dictionary/bs_support.h"

#include "files/dictenc.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "gen.h"
#include "gen_support.h"
#include "support/tmux.h"
#include "support/quvo_run.h"

using namespace gent;

namespace {

// A descriptor of a file the sources define (no catalogue builder) from its
// generated layout, in the data files of its application.
bool describe_defined(const qg::GenFile& f, MmPool pool, FmFdb* fdb) {
  std::string padded = f.name;
  padded.resize(8, ' ');
  size_t nseg = 0;
  for (const auto& k : f.keys) nseg += k.segs.size();
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * (f.keys.size() + 1)));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * (nseg + 1)));
  FmSdb* s = sdb;
  for (size_t k = 0; k < f.keys.size(); ++k) {
    FmSdb* first = s;
    int j = 0;
    for (const auto& sg : f.keys[k].segs) init_sdb_func(s++, ++j, sg[0], sg[1], sg[2], '+');
    INIT_KDB(&kdb[k], f.keys[k].no, '+', f.keys[k].dup ? 9 : 8, first, j);
  }
  INIT_FDB(fdb, FM_CLASS_DISK, f.rec_len, f.var ? 1 : 0, f.keys.empty() ? nullptr : kdb, int(f.keys.size()));
  if (f.app == "0LA") INIT_LA_PATH(fdb, "00", padded.c_str(), FM_PT_DATA);
  else if (f.app == "0SA") INIT_SA_PATH(fdb, padded.c_str(), FM_PT_DATA);
  else return false;
  fdb->org = uint8_t(f.org);
  return true;
}

// A descriptor of the file `name` as the engine describes it, in the
// dictionary or data files of application `app`.
bool describe(const std::string& name, const std::string& app, bool dict, MmPool pool, FmFdb* fdb) {
  std::string padded = name;
  padded.resize(8, ' ');
  const DictRecDesc* d = dict_rec_find(padded.c_str());
  if (!d || !*d->builder) return false;
  const FmCatEntry* e = fm_cat_find(d->builder);
  if (!e) return false;
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  if (!fm_cat_fill(e, fdb, kdb, sdb, app.c_str(), "00")) return false;
  if (!dict && e->ident == FM_CAT_CALLER) INIT_SA_PATH(fdb, padded.c_str(), FM_PT_DATA);
  if (dict && e->ident == FM_CAT_CALLER) INIT_SRC_PATH(fdb, app.c_str(), "00", padded.c_str(), FM_PT_DATA);
  return true;
}

std::multiset<std::vector<uint8_t>> read_all(FmArb* a, int rec_len, bool keyed, MmPool pool) {
  std::multiset<std::vector<uint8_t>> out;
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, size_t(rec_len)));
  a->rec.set(buf);
  a->rec_len = uint16_t(rec_len);
  a->key_no = 0;
  a->op = keyed ? FM_OP_FIRST : 0;
  if (keyed && !fm_start(a)) return out;
  a->op = 0;
  while (fm_rdnxt(a)) out.emplace(buf, buf + a->len_read);
  return out;
}

TEST(GenBoot, BootstrapReadsBackEveryRecordAndImage) {
  TempDir t;
  std::string boot = t.sub("boot"), var = t.sub("var");
  std::filesystem::create_directories(var);
  QgRun g = quvogen(QUVO_DATA_APPS, boot);
  ASSERT_EQ(g.status, 0) << g.err;

  auto t0 = std::chrono::steady_clock::now();
  QuvoRun b = run_quvo({"-b"}, {"QUVOPATH=" + var, "QUVO_BOOT_SRC=" + boot, "TERM=dumb"});
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  size_t input = 0;
  for (auto& [name, bytes] : tree(boot)) input += bytes.size();
  std::printf("tier 0-1 bootstrap: %.3f s, input %zu bytes\n", secs, input);
  // The engine starts on it: the default menu of "0LA" for anyone.
  std::filesystem::create_directories(t.sub("home"));
  QuvoRun s = run_quvo({}, {"QUVOPATH=" + var, "QUVO_TEST_HOME=" + t.sub("home"), "TERM=xterm",
                               "QUVO_TEST_NO_PI=1"});
  EXPECT_EQ(s.status, 0) << s.out << s.err;
  EXPECT_NE(s.err.find("(0LA 00 Menu \"QUVO MENU\")"), std::string::npos) << s.err;

  // What the generator made (the same sources give the same output).
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(QUVO_DATA_APPS, t.sub("again"), &errs, &made)) << errs.str();
  EXPECT_EQ(tree(boot), tree(t.sub("again")));

  setenv("QUVOPATH", var.c_str(), 1);
  bi_init_com();
  fms_init();
  MmPool pool = mm_create_pool(" GENBOOT   ", 0, 0);
  const char* dicts[] = {"0AD", "0LA", "0DB", "0SA"};
  size_t opened = 0, compared = 0, images = 0, keyed = 0;
  for (const qg::GenFile& f : made) {
    if (f.fclass != 1) continue;
    std::vector<std::pair<std::string, bool>> places;  // application, dictionary
    if (f.app == "0AD") {
      for (const char* d : dicts) places.push_back({d, true});
    } else {
      places.push_back({f.app, false});
    }
    for (auto& [app, dict] : places) {
      SCOPED_TRACE(f.name + " of " + app);
      FmFdb fdb;
      ASSERT_TRUE(describe(f.name, app, dict, pool, &fdb) || (!dict && describe_defined(f, pool, &fdb)));
      ASSERT_TRUE(FM_OPEN(&fdb, com.depth, 0, 1, 15)) << "status " << fdb.status;
      FmArb* a = fdb.handle.get();
      std::multiset<std::vector<uint8_t>> got, want(f.records.begin(), f.records.end());
      if (fdb.org == FM_ORG_SINGLE) {
        auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, fdb.rec_len));
        a->rec.set(buf);
        a->rec_len = fdb.rec_len;
        a->rid = 1;
        a->op = FM_OP_RID;
        if (fm_read(a)) got.emplace(buf, buf + a->len_read);
      } else {
        got = read_all(a, fdb.rec_len, fdb.key_count > 0, pool);
      }
      if (f.name == "INITIAL" && app == "0AD") {
        // 0AD's own images come from its SUMMARY: those of the design files
        std::multiset<std::vector<uint8_t>> own;
        for (const qg::GenFile& o : made)
          if (o.app == "0AD")
            for (const auto& r : want)
              if (std::string(r.begin(), r.begin() + 8).rfind(o.name, 0) == 0 &&
                  (o.name.size() == 8 || r[o.name.size()] == ' '))
                own.insert(r);
        want = own;
      }
      EXPECT_EQ(got.size(), want.size());
      EXPECT_TRUE(got == want);
      // Each record found by its primary key, whole.
      if (fdb.key_count > 0 && !(fdb.kdb.get()[0].flags & FM_KEY_DUP)) {
        auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, fdb.rec_len));
        size_t found = 0;
        const FmKdb& k0 = fdb.kdb.get()[0];
        for (const auto& r : want) {
          // only the key's bytes are given; the read fills in the rest
          std::memset(buf, 0xEE, fdb.rec_len);
          for (int i = 0; i < k0.seg_count; ++i) {
            const FmSdb& sg = k0.segs.get()[i];
            std::memcpy(buf + sg.offset, r.data() + sg.offset, sg.length);
          }
          a->rec.set(buf);
          a->rec_len = fdb.rec_len;
          a->key_no = 0;
          a->op = FM_OP_EQUAL;
          found += fm_read(a) && std::vector<uint8_t>(buf, buf + a->len_read) == r;
        }
        EXPECT_EQ(found, want.size()) << "read by key";
        keyed += found;
      }
      ++opened;
      compared += got.size();
      FM_CLOSE(a, 0);
    }
  }
  // Every file's INITIAL and NULL images, in its own application's dictionary.
  for (const qg::GenFile& f : made) {
    SCOPED_TRACE(f.name + " images");
    FmFdb fdb = fm_fdb;
    INIT_SRC_PATH(&fdb, f.app.c_str(), "00", (f.name + std::string(8 - f.name.size(), ' ')).c_str(), FM_PT_DATA);
    fdb.app.set(f.app);
    fdb.ver.set("00");
    fdb.rec_len = uint16_t(f.init.size());
    for (int kind = 1; kind <= 2; ++kind) {
      const uint8_t* img = fm_cache(&fdb, kind);
      ASSERT_NE(img, nullptr) << "kind " << kind << " status " << fdb.status;
      const std::vector<uint8_t>& want = kind == 1 ? f.init : f.null;
      EXPECT_EQ(std::vector<uint8_t>(img, img + want.size()), want) << "kind " << kind;
      fm_uncache(img);
      ++images;
    }
  }
  // The design files in four dictionaries (19 at least), the data files of
  // "0LA" and "0SA" (the 11 System Administration files at least); the
  // images of every file of the four applications.
  size_t design = 0, data = 0;
  for (const qg::GenFile& f : made)
    if (f.fclass == 1) ++(f.app == "0AD" ? design : data);
  EXPECT_GE(design, 19u);
  EXPECT_GE(data, 11u);
  EXPECT_EQ(opened, design * 4 + data);
  EXPECT_GT(compared, 3000u);
  EXPECT_GT(keyed, 3000u);
  EXPECT_EQ(images, 2 * made.size());
  // Read by key, a few records say what their sources wrote.
  auto by_key = [&](const char* file, const std::string& app, bool dict,
                    const std::vector<std::pair<std::string, std::string>>& key) {
    FmFdb fdb;
    EXPECT_TRUE(describe(file, app, dict, pool, &fdb));
    EXPECT_TRUE(FM_OPEN(&fdb, com.depth, 0, 1, 15)) << file;
    const DictRecDesc* d = dict_rec_find((std::string(file) + std::string(8 - std::strlen(file), ' ')).c_str());
    std::vector<uint8_t> buf(d->size);
    dict_image(*d, 1, buf.data());
    std::string err;
    for (auto& [n, v] : key) EXPECT_TRUE(dict_encode_named(*d, n, v, buf.data(), &err)) << err;
    auto* rec = static_cast<uint8_t*>(MM_ALLOC(pool, d->size));
    std::memcpy(rec, buf.data(), d->size);
    FmArb* a = fdb.handle.get();
    PROTO_FULL(a, 0, rec);
    a->op = FM_OP_EQUAL;
    bool found = fm_read(a);
    FM_CLOSE(a, 0);
    EXPECT_TRUE(found) << file << " " << key[0].second;
    return std::make_pair(d, std::vector<uint8_t>(rec, rec + d->size));
  };
  auto field = [](const DictRecDesc* d, const std::vector<uint8_t>& r, const char* name, int occ = 0) {
    return dict_decode(*dict_field_find(d, name), occ, r.data());
  };
  auto [appl, la] = by_key("APPL", "0SA", false, {{"app", "0LA"}, {"ver", "00"}});
  EXPECT_EQ(field(appl, la, "title"), "Runtime");
  EXPECT_EQ(field(appl, la, "stamp"), "2026-01-01T00:00:00.00");
  for (const char* d : dicts) {
    auto [proc, menu] = by_key("PROCESS", d, true, {{"proc_type", "1"}, {"proc_name", "QUVO MENU"}});
    EXPECT_EQ(field(proc, menu, "title"), "QUVO Menu") << d;
    auto [row, r1] = by_key("ROW", d, true, {{"proc_type", "1"}, {"proc_name", "QUVO MENU"}, {"frame_no", "1"},
                                             {"image_no", "1"}, {"b37", ""}, {"row_no", "3"}});
    EXPECT_EQ(field(row, r1, "text"), "        1   Show an error message") << d;
  }
  auto [child, c2] = by_key("CHILD", "0LA", true,
                            {{"proc_type", "1"}, {"proc_name", "QUVO MENU"}, {"frame_no", "1"}, {"image_no", "1"},
                             {"disc", "2"}, {"b38", ""}, {"child_no", "2"}});
  EXPECT_EQ(field(child, c2, "ch_name"), "EM BUILD ERRORS");
  EXPECT_EQ(field(child, c2, "ch_app"), "0LA");
  EXPECT_EQ(field(child, c2, "ch_type"), "2");
  auto [sysdir, sd] = by_key("SYSDIR", "0SA", false, {{"db", ""}, {"app", "0DB"}, {"ver", "00"}, {"name", "STMT"}});
  EXPECT_EQ(field(sysdir, sd, "name"), "STMT");
  fm_shutdown();
  mm_destroy_pool(pool);
}

}  // namespace

namespace {

// A test application from its sources (tests/tools/apps) joins the design
// dictionary; QUVO_BOOT_AP adds its dictionary to a bootstrapped directory.
TEST(GenBoot, TestApplicationIsAddedWithQuvoBootAp) {
  TempDir t;
  std::string boot = t.sub("boot"), var = t.sub("var");
  std::filesystem::create_directories(var);
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, QUVO_TEST_DIR "/tools/apps"}, boot, &errs, &made)) << errs.str();
  std::vector<std::string> env{"QUVOPATH=" + var, "QUVO_BOOT_SRC=" + boot, "TERM=dumb"};
  QuvoRun b = run_quvo({"-b"}, env);
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  env.push_back("QUVO_BOOT_AP=TST");
  b = run_quvo({"-b"}, env);
  ASSERT_EQ(b.status, 0) << b.out << b.err;

  setenv("QUVOPATH", var.c_str(), 1);
  bi_init_com();
  fms_init();
  MmPool pool = mm_create_pool(" GENBOOTAP ", 0, 0);
  FmFdb fdb;
  ASSERT_TRUE(describe("PROCESS", "TST", true, pool, &fdb));
  ASSERT_TRUE(FM_OPEN(&fdb, com.depth, 0, 1, 15)) << "status " << fdb.status;
  std::set<std::string> names;
  for (const auto& r : read_all(fdb.handle.get(), fdb.rec_len, true, pool))
    names.insert(std::string(rec::view<DProc>(r.data()).proc_name.view()).substr(0, 13));
  EXPECT_TRUE(names.count("TST MENU     "));
  EXPECT_TRUE(names.count("TST CUSTOMERS"));
  FM_CLOSE(fdb.handle.get(), 0);
  // The menu's characteristic: the title's nine columns of row 1.
  ASSERT_TRUE(describe("CHR", "TST", true, pool, &fdb));
  ASSERT_TRUE(FM_OPEN(&fdb, com.depth, 0, 1, 15)) << "status " << fdb.status;
  std::multiset<std::vector<uint8_t>> chrs;  // the dictionary is the shared one: the test application's
  for (const auto& r : read_all(fdb.handle.get(), fdb.rec_len, true, pool))
    if (std::string(rec::view<DChr>(r.data()).proc_name.view()).rfind("TST ", 0) == 0) chrs.insert(r);
  ASSERT_EQ(chrs.size(), 1u);
  const DChr& ch = rec::view<DChr>(chrs.begin()->data());
  EXPECT_EQ(std::string(ch.proc_name.view()).substr(0, 8), "TST MENU");
  EXPECT_EQ(ch.image_no, 1);
  EXPECT_EQ(ch.row.get(), 1u);
  EXPECT_EQ(ch.col.get(), 3u);
  EXPECT_EQ(ch.cols.get(), 9u);
  EXPECT_EQ(ch.bright.str(), "1");
  FM_CLOSE(fdb.handle.get(), 0);
  // The customer file's images: BALANCE 0 (packed, 6 bytes, positive),
  // OPENED 2026-01-01 (day 739,617), CREDIT OK '1'.
  const qg::GenFile* cust = nullptr;
  for (const qg::GenFile& f : made)
    if (f.name == "TSTCUST") cust = &f;
  ASSERT_NE(cust, nullptr);
  FmFdb c = fm_fdb;
  INIT_SRC_PATH(&c, "TST", "00", "TSTCUST ", FM_PT_DATA);
  c.app.set("TST");
  c.ver.set("00");
  c.rec_len = uint16_t(cust->init.size());
  const uint8_t* img = fm_cache(&c, 1);
  ASSERT_NE(img, nullptr) << c.status;
  std::vector<uint8_t> want(cust->init.size(), ' ');
  std::memcpy(want.data(), "      ", 6);
  uint8_t tail[] = {0, 0, 0, 0, 0, 0x0C, 0x21, 0x49, 0x0B, 0x00, '1'};
  std::memcpy(want.data() + 36, tail, sizeof tail);
  EXPECT_EQ(std::vector<uint8_t>(img, img + want.size()), want);
  fm_uncache(img);
  fm_shutdown();
  mm_destroy_pool(pool);
}

}  // namespace

namespace {

// Bounded fuzz of the real bootstrap input: copies of the generator's output
// with the design SUMMARY cut, a byte of it replaced, an absurd count in a
// FILE line, or a raw file (CRC-checked) cut or with a flipped byte. Each run
// fails with a message naming the damaged file (a SUMMARY with its line),
// and the data directory stays as it was, with nothing left beside it.
TEST(GenBoot, DamagedSystemInputsFailAndLeaveTheDirectoryAsItWas) {
  TempDir t;
  std::string boot = t.sub("boot");
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(QUVO_DATA_APPS, boot, &errs)) << errs.str();
  const std::string sum_rel = "/data/dict/0AD00/SUMMARY";
  const std::string sum = bst::slurp(boot + sum_rel);
  std::vector<std::string> raws;
  for (auto& [rel, bytes] : tree(boot + "/port"))
    if (bytes.size() > size_t(kRawHead)) raws.push_back("/port/" + rel);
  ASSERT_GE(raws.size(), 10u);
  std::mt19937 rng(20261207);
  const char junk[] = {'#', 'Z', '\x01', '\xff', '-', 'x', '*', '9'};
  for (int i = 0; i < 15; ++i) {
    int kind = i % 5;
    std::string src = t.sub("src" + std::to_string(i)), target = t.sub("var" + std::to_string(i));
    std::filesystem::copy(boot, src, std::filesystem::copy_options::recursive);
    std::filesystem::create_directories(target);
    bst::spit(target + "/quvo.env", "# site settings\n");
    std::string damaged = sum_rel, s = sum;
    if (kind == 0) {  // cut inside a line after the header
      size_t at = 2 + rng() % (s.size() - 3);
      while (s[at] == '\n' || s[at - 1] == '\n') ++at;
      s.resize(at);
    } else if (kind == 1) {  // a byte of a FILE, KEY, SEGMENT or field line replaced
      size_t at;
      do at = 2 + rng() % (s.size() - 3);
      while (s[at] == '\n' || s[at] == ' ' || std::isxdigit(static_cast<unsigned char>(s[at])) ||
             s.compare(s.rfind('\n', at) + 1, 5, "FILE:") != 0);
      s[at] = junk[rng() % sizeof junk];
    } else if (kind == 2) {  // an absurd key count, record length or field count
      size_t line = s.find("FILE:  ELEMENT");
      ASSERT_NE(line, std::string::npos);
      size_t eol = s.find('\n', line);
      std::string l = s.substr(line, eol - line);
      std::vector<std::string> w;
      std::istringstream in(l);
      for (std::string x; in >> x;) w.push_back(x);
      ASSERT_EQ(w.size(), 9u) << l;
      const char* absurd[] = {"18", "0", "40000", "99999"};
      w[size_t(4 + 2 * (rng() % 3))] = absurd[rng() % 4];
      std::string nl = w[0] + "  " + w[1];
      for (size_t k = 2; k < w.size(); ++k) nl += " " + w[k];
      s.replace(line, eol - line, nl);
    } else {
      damaged = raws[rng() % raws.size()];
      std::string w = bst::slurp(src + damaged);
      if (kind == 3) w.resize(rng() % (w.size() - 1));  // cut anywhere
      else w[rng() % w.size()] ^= char(1 + rng() % 255);  // a flipped byte: the CRC sees it
      bst::spit(src + damaged, w);
    }
    if (damaged == sum_rel) bst::spit(src + sum_rel, s);
    auto before = bst::dir_hashes(target);
    QuvoRun r = run_quvo({"-b"}, {"QUVOPATH=" + target, "QUVO_BOOT_SRC=" + src, "TERM=dumb"});
    SCOPED_TRACE("case " + std::to_string(i) + " " + damaged + ": " + r.err);
    EXPECT_EQ(r.status, kExitBootFailed);
    std::string named = src + damaged + (damaged == sum_rel ? ":" : "");
    size_t at = r.err.find(named);
    ASSERT_NE(at, std::string::npos) << "the message names the file";
    if (damaged == sum_rel) {
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(r.err[at + named.size()])));
    }
    if (kind == 0) {  // said once, not again for each dictionary the design SUMMARY is copied into
      EXPECT_EQ(r.err.find(named, at + 1), std::string::npos);
    }
    EXPECT_EQ(bst::dir_hashes(target), before);
    for (const auto& e : std::filesystem::directory_iterator(t.str()))
      EXPECT_EQ(e.path().filename().string().find(".var"), std::string::npos) << "left behind: " << e.path();
  }
}

}  // namespace

namespace {

// The system applications' bootstrap killed at random moments: the data
// directory is as it was or marked unfinished, and a rerun gives the same
// directory as an uninterrupted run.
TEST(GenBoot, KilledMidBootstrapARerunGivesASoundDirectory) {
  TempDir t;
  std::string boot = t.sub("boot"), home = t.sub("home");
  std::filesystem::create_directories(home);
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(QUVO_DATA_APPS, boot, &errs)) << errs.str();
  auto env_of = [&](const std::string& target) {
    return std::vector<std::string>{"QUVOPATH=" + target, "QUVO_BOOT_SRC=" + boot, "QUVO_TEST_HOME=" + home,
                                    "TERM=dumb"};
  };
  std::string clean_dir = t.sub("clean");
  std::filesystem::create_directories(clean_dir);
  // The kill comes within the time a warm bootstrap takes (the faster of two
  // runs: the first one also warms the caches; a round that finished before
  // its kill shortens it, for the machine may have become less busy). Past
  // eight rounds, more follow (up to 32) until two bootstraps were cut.
  long long took = 0;
  for (int run = 0; run < 2; ++run) {
    std::string d = t.sub("clean" + std::to_string(run));
    std::filesystem::create_directories(d);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(run_quvo({"-b"}, env_of(d)).status, 0);
    long long us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    took = run == 0 ? us : std::min(took, us);
  }
  ASSERT_EQ(run_quvo({"-b"}, env_of(clean_dir)).status, 0);
  const auto clean = bst::dir_hashes(clean_dir);
  std::mt19937 rng(4242);
  int cut = 0;
  for (int i = 0; i < 8 || (cut < 2 && i < 32); ++i) {
    std::string target = t.sub("var" + std::to_string(i));
    std::filesystem::create_directories(target);
    auto before = bst::dir_hashes(target);
    pid_t pid = start_quvo({"-b"}, env_of(target));
    ASSERT_GT(pid, 0);
    auto delay = useconds_t(rng() % uint32_t(took * 3 / 4 + 1));
    usleep(delay);
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    SCOPED_TRACE("kill " + std::to_string(i));
    bool finished = WIFEXITED(st) && WEXITSTATUS(st) == 0;
    cut += !finished;
    if (finished) took = std::min<long long>(took, delay);
    // Done (perhaps killed after its last step, before it could say so), as
    // it was, or marked unfinished.
    auto now = bst::dir_hashes(target);
    bool done = finished || now == clean;
    EXPECT_TRUE(done || now == before || std::filesystem::exists(target + "/.quvo-boot-unfinished"));
    if (!done) {
      QuvoRun r = run_quvo({"-b"}, env_of(target));
      ASSERT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(bst::dir_hashes(target), clean);
    for (const auto& e : std::filesystem::directory_iterator(t.str()))
      EXPECT_EQ(e.path().filename().string().find(".boot-"), std::string::npos) << "left behind: " << e.path();
  }
  EXPECT_GE(cut, 2);
}

}  // namespace

namespace {

// The records of a System Administration file, by its catalogue builder.
std::vector<std::vector<uint8_t>> sa_records(const char* name, MmPool pool) {
  FmFdb fdb;
  std::vector<std::vector<uint8_t>> out;
  if (!describe(name, "0SA", false, pool, &fdb) || !FM_OPEN(&fdb, com.depth, 0, 1, 15)) return out;
  for (const auto& r : read_all(fdb.handle.get(), fdb.rec_len, true, pool)) out.push_back(r);
  FM_CLOSE(fdb.handle.get(), 0);
  return out;
}

// A data file of application REG in database RGD with one record, as the
// engine makes it (through its SYSDIR entry).
bool put_data_record(const std::string& var, const std::string& rec) {
  setenv("QUVOPATH", var.c_str(), 1);
  bi_init_com();
  fms_init();
  MmPool pool = mm_create_pool(" GENREG    ", 0, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb)));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb)));
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, rec.size()));
  init_sdb_func(sdb, 1, 0, 6, FM_SEG_ALPHA, '+');
  INIT_KDB(kdb, 0, '+', 8, sdb, 1);
  FmFdb f;
  INIT_FDB(&f, FM_CLASS_DISK, int(rec.size()), 0, kdb, 1);
  INIT_DB_PATH(&f, "RGD", "REG", "00", "REGFILE ", FM_PT_DATA);
  bool ok = FM_CREATE(&f, com.depth, 0, FM_OPT_CREATE, 15, 15);
  if (ok) {
    std::memcpy(buf, rec.data(), rec.size());
    PROTO_FULL(f.handle.get(), 0, buf);
    ok = fm_write(f.handle.get()) == 1;
    FM_CLOSE(f.handle.get(), 0);
  }
  fm_shutdown();
  mm_destroy_pool(pool);
  return ok;
}

}  // namespace

// An application of one's own registers itself: its application block gives
// the APPL record and, per database, the DATABASE and DBXAP records. Added
// again, its dictionary is replaced and its data files stay; a data file
// whose layout the new definition changes is refused by name, the
// directory as it was. Mistakes in the block are refused at their place.
TEST(GenBoot, AnApplicationRegistersItselfAndIsAddedAgain) {
  TempDir t;
  std::string boot = t.sub("boot"), var = t.sub("var"), apps = t.sub("mine");
  std::filesystem::create_directories(var);
  const std::string block = "application\n  title     = Registered here\n  databases = RGD RGE\n";
  write(apps + "/REG/reg.def", block + "file REGFILE disk\n  REG KEY  = alpha 6 key 0\n  REG TEXT = alpha 10\n");
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, apps}, boot, &errs)) << errs.str();
  std::vector<std::string> env{"QUVOPATH=" + var, "QUVO_BOOT_SRC=" + boot, "TERM=dumb"};
  ASSERT_EQ(run_quvo({"-b"}, env).status, 0);
  env.push_back("QUVO_BOOT_AP=REG");
  QuvoRun r = run_quvo({"-b"}, env);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("bootstrap: added REG: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("next: run a process of it: " QUVO_BINARY " -d RGD -a REG -t TYPE -p NAME\n"), std::string::npos)
      << r.out;

  setenv("QUVOPATH", var.c_str(), 1);
  bi_init_com();
  fms_init();
  MmPool pool = mm_create_pool(" GENREGSA  ", 0, 0);
  int appl = 0;
  for (const auto& rec : sa_records("APPL", pool))
    if (rec::view<DAppl>(rec.data()).app == "REG") {
      ++appl;
      EXPECT_EQ(rec::view<DAppl>(rec.data()).ver.str(), "00");
      EXPECT_EQ(rec::view<DAppl>(rec.data()).title.str(), "Registered here");
    }
  EXPECT_EQ(appl, 1);
  std::set<std::string> dbs, links;
  for (const auto& rec : sa_records("DATABASE", pool)) {
    const DDatabase& d = rec::view<DDatabase>(rec.data());
    dbs.insert(d.id.str() + " " + d.app.str() + " " + d.ver.str());
  }
  for (const auto& rec : sa_records("DBXAP", pool)) {
    const DDbxap& x = rec::view<DDbxap>(rec.data());
    links.insert(x.db.str() + " " + x.app.str() + " " + std::to_string(x.phase.get()));
  }
  EXPECT_EQ(dbs, (std::set<std::string>{"RGD REG 00", "RGE REG 00"}));
  EXPECT_EQ(links, (std::set<std::string>{"RGD REG 2", "RGE REG 2"}));
  fm_shutdown();
  mm_destroy_pool(pool);

  // Data made by the application stays when it is added again.
  ASSERT_TRUE(put_data_record(var, "K00001first     "));
  const std::string data_file = var + "/data/RGD/REG00/REGFILE";
  const size_t kept = bst::native_hash(data_file);
  r = run_quvo({"-b"}, env);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("bootstrap: replaced REG: "), std::string::npos) << r.out;
  EXPECT_EQ(bst::native_hash(data_file), kept);

  // A longer field: the data file is refused by name, nothing changes.
  write(apps + "/REG/reg.def", block + "file REGFILE disk\n  REG KEY  = alpha 6 key 0\n  REG TEXT = alpha 11\n");
  ASSERT_TRUE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, apps}, boot, &errs)) << errs.str();
  auto before = bst::dir_hashes(var);
  r = run_quvo({"-b"}, env);
  EXPECT_TRUE(ended(r, kExitBootFailed,
                    {"data file REGFILE of REG in database RGD (" + data_file +
                         ") has another layout than the new definition: restructure, which would convert its "
                         "records, is not built yet",
                     var + " is as it was"}));
  EXPECT_EQ(bst::dir_hashes(var), before);
  // So it is when the sources no longer name that database: the data
  // directory has the application registered there still.
  write(apps + "/REG/reg.def", "application\n  title     = Registered here\n  databases = RGE\n"
                               "file REGFILE disk\n  REG KEY  = alpha 6 key 0\n  REG TEXT = alpha 11\n");
  ASSERT_TRUE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, apps}, boot, &errs)) << errs.str();
  r = run_quvo({"-b"}, env);
  EXPECT_TRUE(ended(r, kExitBootFailed, {"data file REGFILE of REG in database RGD (" + data_file + ") has another layout"}));
  EXPECT_EQ(bst::dir_hashes(var), before);

  // Mistakes in the application block, each at its place.
  struct Bad {
    std::string text, says;
  } bad[] = {{"application\n  title = T\n", "reg.def:1:1: name the database or databases REG belongs to"},
             {"application\n  database = rg1\n", "reg.def:2:14: a database id is one to three upper-case"},
             {"application\n  databases = RGD RGD\n", "reg.def:2:19: database RGD is given twice"},
             {"application\n  colour = red\n  database = RGD\n", "reg.def:2:3: an application block gives"},
             {"application\n  database = RGD\napplication\n  database = RGE\n", "reg.def:3:1: application REG is "
                                                                                  "registered twice"}};
  for (const Bad& b : bad) {
    write(apps + "/REG/reg.def", b.text);
    qg::Errors e;
    EXPECT_FALSE(qg::generate(std::vector<std::string>{QUVO_DATA_APPS, apps}, t.sub("bad"), &e));
    EXPECT_NE(e.str().find(b.says), std::string::npos) << b.text << "\n" << e.str();
  }
}

// The single-record inputs (PARAM, SYSPARM) are checked as every other input:
// a byte changed anywhere, the record or its check sum cut short, a byte
// more: the run fails naming the file, the directory as it was.
TEST(GenBoot, DamagedSingleRecordInputsFail) {
  TempDir t;
  std::string boot = t.sub("boot");
  qg::Errors errs;
  ASSERT_TRUE(qg::generate(QUVO_DATA_APPS, boot, &errs)) << errs.str();
  int i = 0;
  for (const std::string rel : {"/port/dict/0AD00/PARAM", "/port/dict/0SA00/SYSPARM"}) {
    const std::string good = bst::slurp(boot + rel);
    ASSERT_GT(good.size(), size_t(kRawTrail));
    std::vector<std::string> spoiled = {good.substr(0, good.size() - 1), good.substr(0, good.size() - kRawTrail),
                                        good + "x"};
    for (size_t at : {size_t(0), good.size() / 2, good.size() - 1}) {
      spoiled.push_back(good);
      spoiled.back()[at] ^= 0x20;
    }
    for (const std::string& s : spoiled) {
      std::string src = t.sub("src" + std::to_string(i)), target = t.sub("var" + std::to_string(i++));
      std::filesystem::copy(boot, src, std::filesystem::copy_options::recursive);
      std::filesystem::create_directories(target);
      bst::spit(src + rel, s);
      QuvoRun r = run_quvo({"-b"}, {"QUVOPATH=" + target, "QUVO_BOOT_SRC=" + src, "TERM=dumb"});
      SCOPED_TRACE(rel + " case " + std::to_string(i));
      EXPECT_TRUE(ended(r, kExitBootFailed, {src + rel + ": ", target + " is as it was"}));
      EXPECT_TRUE(std::filesystem::is_empty(target));
    }
  }
}

// A date field the sources give no mask: its compiled domain takes the
// engine's default date mask cut to its units, so a form shows it as the
// engine shows dates ("01/31/2026") and compiles. (Its element once kept a
// blank mask, and the form did not compile: 102400 on its range test.)
namespace {

class GenForm : public tmuxrun::PaneTest {};

TEST_F(GenForm, ADateWithoutAMaskIsShownOnAFormByTheEnginesDateMask) {
  std::string root, data;
  ASSERT_EQ(tmuxrun::make_engine_dir("quvo-genform", &root, &data), 0);
  gent::write(root + "/src/DDT/ddt.def",
              "application\n  title = Dates\n  databases = DDD\n\nwork\n  DT DATE = date-binary 4\n"
              "  DT TINY = binary 1\n");
  gent::write(root + "/src/DDT/form.proc",
              "process DT FORM\n  proc_type = input\n  title = DT form\n\nframe 1\n  mode = 1\n"
              "  interactive = 1\n\nimage 1\nscreen\n"
              "|  Date    @D________                                                          |\n"
              "|  Tiny    @T__                                                                |\n"
              "end screen\n"
              "item D\n  app = DDT\n  field = DT DATE\n  input = 1\n  display = 1\n"
              "item T\n  app = DDT\n  field = DT TINY\n  input = 1\n  display = 1\n");
  int rc = 0;
  tmuxrun::sh(tmuxrun::q(QUVOGEN_BINARY) + " " + tmuxrun::q(QUVO_DATA_APPS) + " " + tmuxrun::q(root + "/src") + " " +
                  tmuxrun::q(root + "/boot") + " >/dev/null 2>&1",
              &rc);
  ASSERT_EQ(rc, 0) << "quvogen";
  tmuxrun::sh("env -i PATH=/usr/bin:/bin" + tmuxrun::sanitizer_env() + " QUVOPATH=" + tmuxrun::q(data) +
                  " QUVO_BOOT_SRC=" + tmuxrun::q(root + "/boot") + " QUVO_BOOT_AP=DDT " + tmuxrun::q(QUVO_BINARY) +
                  " -b >/dev/null 2>&1",
              &rc);
  ASSERT_EQ(rc, 0) << "adding DDT";
  open_pane(root, "quvo-genform");
  run_in_pane("QUVOPATH=" + tmuxrun::q(data) + " QUVO_TEST_USER=DDU " + tmuxrun::q(QUVO_BINARY) +
              " -d DDD -a DDT -t Input -p 'DT FORM'");
  ASSERT_TRUE(waits(1)) << tmuxrun::slurp(dir + "/err");
  // the date, and a value the 1-byte field refuses: the form stays, its
  // fields shown as entered
  for (const char* k : {"0", "1", "3", "1", "2", "0", "2", "6", "Tab", "3", "0", "0", "Enter"}) key(k);
  std::vector<std::string> s = screen();
  EXPECT_EQ(s[0], "  Date    01/31/2026");
  EXPECT_EQ(s[23].substr(0, 36), "ERROR - Value does not fit the field");
  tmux("send-keys F3");
  std::string err;
  EXPECT_EQ(ended(&err), 0) << err;
  tmuxrun::sh("rm -rf " + tmuxrun::q(root));
}

}  // namespace
