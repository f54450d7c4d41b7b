// Keymaps: option names, the source compiler against terminfo, stored
// records (and damaged ones), the store and the look-up by terminal and user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>

#include "screen/km.h"
#include "screen/wmrec.h"

namespace {

// A keymap store in a fresh directory; it is no longer the engine's store
// and the directory goes at the end.
struct StoreDir {
  std::string dir;
  std::unique_ptr<KmStore> store;
  StoreDir() {
    char tmpl[] = "/tmp/quvo-km-XXXXXX";
    dir = mkdtemp(tmpl);
    store = km_dir_store(dir);
  }
  ~StoreDir() {
    km_set_store(nullptr);
    std::system(("rm -rf '" + dir + "'").c_str());
  }
};

// The stored keymap of every user of a terminal, decoded.
::testing::AssertionResult stored(KmStore& store, const char* term, Keymap* km) {
  std::vector<uint8_t> rec;
  std::string why;
  if (!store.get(term, "", &rec, nullptr)) return ::testing::AssertionFailure() << "no keymap for " << term;
  if (!km_decode(rec.data(), rec.size(), km, &why)) return ::testing::AssertionFailure() << term << ": " << why;
  return ::testing::AssertionSuccess();
}

// Makes a record's length and checksum agree with its bytes again, as a
// forger would.
void reseal(std::vector<uint8_t>* rec) {
  KmHead& h = rec::view<KmHead>(rec->data());
  h.length = uint32_t(rec->size());
  uint32_t c = 2166136261u;
  for (size_t j = sizeof(KmHead); j < rec->size(); ++j) c = (c ^ (*rec)[j]) * 16777619u;
  h.checksum = c;
}

TEST(Keymap, OptionNamesAndNumbers) {
  EXPECT_EQ(km_option_code("END"), 274);
  EXPECT_EQ(km_option_code("help on opt"), 280);
  EXPECT_EQ(km_option_code("Cursor_Up"), 20002);
  EXPECT_EQ(km_option_code("PAN-HOME"), 10012);
  EXPECT_EQ(km_option_code("12"), 12);
  EXPECT_EQ(km_option_code("option 7"), 7);
  EXPECT_EQ(km_option_code("65535"), 65535);
  EXPECT_EQ(km_option_code("65536"), -1);
  EXPECT_EQ(km_option_code("NOPE"), -1);
  EXPECT_EQ(km_option_name(278), "CANCEL");
  EXPECT_EQ(km_option_name(3), "OPTION 3");
  // Every editing and pan code has a name.
  for (uint32_t c = 20000; c <= 20026; ++c) EXPECT_NE(km_option_name(c), std::to_string(c));
  for (uint32_t c = 10000; c <= 10012; ++c) EXPECT_NE(km_option_name(c), std::to_string(c));
}

TEST(Keymap, SourceResolvesTerminfoCapabilities) {
  const char* src = R"(# test
terminals xterm
delay 80
kf1      HELP
kcuu1    CURSOR UP
kslt     END             # xterm has no Select key: skipped
"\e[1~"  FIELD START
^C       CANCEL
^?       BACKSPACE
kf12     "Mr. " ENTER
"\x01"   HELP ON OPT 12
)";
  Keymap km;
  std::string err;
  ASSERT_TRUE(km_compile_source(src, ".", "t.km", "xterm", &km, &err)) << err;
  EXPECT_EQ(km.esc_delay, 80);
  ASSERT_NE(km.trie.find_code(276), nullptr);
  EXPECT_EQ(km.trie.find_code(276)->seq, "\x1bOP");
  EXPECT_EQ(km.trie.find_code(20002)->seq, "\x1bOA");
  EXPECT_EQ(km.trie.find_code(274), nullptr);
  EXPECT_EQ(km.trie.find_code(20006)->seq, "\x1b[1~");
  EXPECT_EQ(km.trie.find_code(278)->seq, "\x03");
  EXPECT_EQ(km.trie.find_code(20009)->seq, "\x7f");
  bool macro = false, pair = false;
  for (const TrieEntry* e : km.trie.entries()) {
    if (e->seq == "\x1b[24~") {
      macro = true;
      std::vector<uint32_t> want = {kKmChar | 'M', kKmChar | 'r', kKmChar | '.', kKmChar | ' ', 304};
      EXPECT_EQ(e->values, want);
    }
    if (e->seq == "\x01") {
      pair = true;
      EXPECT_EQ(e->values, (std::vector<uint32_t>{280, 12}));
    }
  }
  EXPECT_TRUE(macro);
  EXPECT_TRUE(pair);
}

TEST(Keymap, SourceErrorsNameFileAndLine) {
  Keymap km;
  std::string err;
  EXPECT_FALSE(km_compile_source("kf1 HELP\nkf2 NOT AN OPTION\n", ".", "a.km", "xterm", &km, &err));
  EXPECT_EQ(err, "a.km:2: \"NOT\" is not an option");
  EXPECT_FALSE(km_compile_source("\"\\e[A CURSOR UP\n", ".", "b.km", "xterm", &km, &err));
  EXPECT_EQ(err, "b.km:1: a quoted text is not closed");
  EXPECT_FALSE(km_compile_source("kf1\n", ".", "c.km", "xterm", &km, &err));
  EXPECT_EQ(err, "c.km:1: a key needs an option");
  EXPECT_FALSE(km_compile_source("include missing.km\n", "/nonexistent", "d.km", "xterm", &km, &err));
  EXPECT_EQ(err, "d.km:1: cannot read missing.km");
  EXPECT_FALSE(km_compile_source("kf1 HELP\n", ".", "e.km", "no-such-terminal-xyz", &km, &err));
  EXPECT_NE(err.find("no terminfo entry"), std::string::npos);
  EXPECT_FALSE(km_compile_source("1abc END\n", ".", "f.km", "xterm", &km, &err));
  EXPECT_EQ(err, "f.km:1: \"1abc\" is not a key");
  EXPECT_FALSE(km_compile_source("^CC END\n", ".", "g.km", "xterm", &km, &err));
  EXPECT_EQ(err, "g.km:1: \"^CC\" is not a key");
  for (const char* bad : {"delay END\n", "delay 60 70\n", "delay\n"}) {
    EXPECT_FALSE(km_compile_source(bad, ".", "h.km", "xterm", &km, &err)) << bad;
    EXPECT_EQ(err, "h.km:1: delay needs a number of milliseconds") << bad;
  }
  EXPECT_FALSE(km_compile_source("include common.km xterm.km\n", std::string(QUVO_SOURCE_DIR) + "/data/keymaps", "i.km",
                                 "xterm", &km, &err));
  EXPECT_EQ(err, "i.km:1: include needs one file name");
}

// The largest key (32 bytes) and macro (64 values) a keymap keeps, and the
// longest delay; one more is refused with its line. A key may hold any
// byte, NUL and 0xFF among them; all of it survives the stored record.
// The lines end in CR LF, as a file written on another system's editor.
TEST(Keymap, SourceLinesAtTheirLimits) {
  std::string key32 = "\\e[" + std::string(29, '1') + "~";
  std::string src = "delay 2000\r\n\"" + key32 + "\" END\r\nkf1 \"" + std::string(64, 'x') +
                    "\"\r\n\"\\x00\" HELP\r\n\"\\xFf\\x1B\" CANCEL\r\n\"\\x411\" ENTER\r\n\"^?^@\" BACK\r\n";
  Keymap km, back;
  std::string err;
  ASSERT_TRUE(km_compile_source(src, ".", "l.km", "xterm", &km, &err)) << err;
  std::vector<uint8_t> rec = km_encode(km);
  ASSERT_TRUE(km_decode(rec.data(), rec.size(), &back, &err)) << err;
  for (const Keymap* k : {&km, &back}) {
    EXPECT_EQ(k->esc_delay, 2000);
    ASSERT_EQ(k->trie.size(), 6u);
    EXPECT_EQ(k->trie.find_code(274)->seq, "\x1b[" + std::string(29, '1') + "~");
    EXPECT_EQ(k->trie.find_code(276)->seq, std::string(1, '\0'));
    EXPECT_EQ(k->trie.find_code(278)->seq, "\xff\x1b");
    EXPECT_EQ(k->trie.find_code(304)->seq, "A1");
    EXPECT_EQ(k->trie.find_code(260)->seq, std::string("\x7f\0", 2));
    for (const TrieEntry* e : k->trie.entries()) {
      if (e->seq == "\x1bOP") {
        EXPECT_EQ(e->values, std::vector<uint32_t>(64, kKmChar | 'x'));
      }
    }
  }
  EXPECT_FALSE(km_compile_source("\"\\e[" + std::string(30, '1') + "~\" END\n", ".", "m.km", "xterm", &km, &err));
  EXPECT_EQ(err, "m.km:1: a key sequence must have 1 to 32 bytes");
  EXPECT_FALSE(km_compile_source("kf1 \"" + std::string(65, 'x') + "\"\n", ".", "m.km", "xterm", &km, &err));
  EXPECT_EQ(err, "m.km:1: a key gives 1 to 64 values");
  ASSERT_TRUE(km_compile_source("delay 2001\n", ".", "m.km", "xterm", &km, &err)) << err;
  EXPECT_EQ(km.esc_delay, 2000);
}

TEST(Keymap, RecordsRoundTripAndDamageIsRefused) {
  Keymap km;
  km.term = "xterm-256color";
  km.user = "ABC";
  km.esc_delay = 75;
  km.trie.add("\x1bOP", {276});
  km.trie.add("\r", {304});
  km.trie.add("\x18", {kKmChar | 'x', 304});
  std::vector<uint8_t> rec = km_encode(km);
  Keymap back;
  std::string why;
  ASSERT_TRUE(km_decode(rec.data(), rec.size(), &back, &why)) << why;
  EXPECT_EQ(back.term, "xterm-256color");
  EXPECT_EQ(back.user, "ABC");
  EXPECT_EQ(back.esc_delay, 75);
  EXPECT_EQ(back.trie.size(), 3u);
  EXPECT_EQ(km_encode(back), rec);

  EXPECT_FALSE(km_decode(rec.data(), 10, &back, &why));
  EXPECT_EQ(why, "the record is too short");
  std::vector<uint8_t> bad = rec;
  bad.back() ^= 1;
  EXPECT_FALSE(km_decode(bad.data(), bad.size(), &back, &why));
  EXPECT_EQ(why, "the checksum does not match");
  bad = rec;
  bad[0] = 'X';
  EXPECT_FALSE(km_decode(bad.data(), bad.size(), &back, &why));
  EXPECT_EQ(why, "the record is not a keymap");
  // Forged records that pass the checksum: a byte short, a byte over, a key
  // of no byte or of 33, a delay past the longest (the default instead).
  bad = rec;
  bad.pop_back();
  reseal(&bad);
  EXPECT_FALSE(km_decode(bad.data(), bad.size(), &back, &why));
  EXPECT_EQ(why, "key 3 is cut short");
  bad = rec;
  bad.push_back(0);
  reseal(&bad);
  EXPECT_FALSE(km_decode(bad.data(), bad.size(), &back, &why));
  EXPECT_EQ(why, "bytes follow the last key");
  const size_t first = sizeof(KmHead);  // the first key: its length, its count of values, its bytes
  ASSERT_EQ(rec[first], 1u);           // "\r"
  for (int len : {0, 33}) {
    bad = rec;
    bad[first] = uint8_t(len);
    bad.erase(bad.begin() + first + 2);
    bad.insert(bad.begin() + first + 2, size_t(len), '\r');
    reseal(&bad);
    EXPECT_FALSE(km_decode(bad.data(), bad.size(), &back, &why)) << len;
    EXPECT_EQ(why, "key 1 has a bad length") << len;
  }
  bad = rec;
  rec::view<KmHead>(bad.data()).esc_delay = uint16_t(2001);
  ASSERT_TRUE(km_decode(bad.data(), bad.size(), &back, &why)) << why;
  EXPECT_EQ(back.esc_delay, kKmDefaultDelay);

  // Random damage never crashes and never passes unnoticed; a forged
  // checksum still meets the structure checks.
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    bad = rec;
    int n = 1 + int(rng() % 4);
    for (int k = 0; k < n; ++k) bad[rng() % bad.size()] = uint8_t(rng());
    if (rng() % 3 == 0) bad.resize(rng() % (bad.size() + 8), 0xAB);
    if (bad == rec) continue;
    if (bad.size() >= sizeof(KmHead) && rng() % 2) {
      // Make length and checksum agree so that the entries are parsed.
      KmHead& h = rec::view<KmHead>(bad.data());
      h.length = uint32_t(bad.size());
      uint32_t c = 2166136261u;
      for (size_t j = sizeof(KmHead); j < bad.size(); ++j) c = (c ^ bad[j]) * 16777619u;
      h.checksum = c;
    }
    Keymap out;
    std::string w;
    if (km_decode(bad.data(), bad.size(), &out, &w)) {
      for (const TrieEntry* e : out.trie.entries()) {
        EXPECT_LE(e->seq.size(), kKmMaxSeq);
        for (uint32_t v : e->values) EXPECT_TRUE(v <= 0xFFFF || (v & ~0xFFu) == kKmChar);
      }
    } else {
      EXPECT_FALSE(w.empty());
    }
  }
}

TEST(Keymap, StoreFindsTheUsersKeymapThenEveryUsers) {
  StoreDir sd;
  const std::string& dir = sd.dir;
  KmStore* store = sd.store.get();
  km_set_store(store);
  Keymap all, mine, got;
  all.term = mine.term = "vt100";
  mine.user = "ABC";
  all.trie.add("\r", {304});
  mine.trie.add("\r", {274});
  std::string err, why;
  EXPECT_EQ(km_find("vt100", "ABC", &got, &why), 0);
  EXPECT_TRUE(why.empty());
  ASSERT_TRUE(store->put("vt100", "", km_encode(all), &err)) << err;
  ASSERT_EQ(km_find("vt100", "ABC", &got, &why), 1);
  EXPECT_EQ(got.trie.find_code(304)->seq, "\r");
  ASSERT_TRUE(store->put("vt100", "ABC", km_encode(mine), &err));
  ASSERT_EQ(km_find("vt100", "ABC", &got, &why), 1);
  EXPECT_EQ(got.trie.find_code(274)->seq, "\r");
  ASSERT_EQ(km_find("vt100", "XYZ", &got, &why), 1);
  EXPECT_EQ(got.trie.find_code(304)->seq, "\r");
  EXPECT_EQ(km_find("xterm", "ABC", &got, &why), 0);
  // A damaged record says so; the record of every user still serves.
  {
    std::ofstream f(dir + "/keymaps/vt100.UABC.key", std::ios::binary | std::ios::trunc);
    f << "garbage";
  }
  ASSERT_EQ(km_find("vt100", "ABC", &got, &why), 1);
  {
    std::ofstream f(dir + "/keymaps/vt100.ALL.key", std::ios::binary | std::ios::trunc);
    f << "garbage";
  }
  EXPECT_EQ(km_find("vt100", "ABC", &got, &why), 0);
  EXPECT_EQ(why, "The keymap of terminal vt100 for user ABC is damaged: the record is too short");
}

TEST(Keymap, DefaultSourcesInstallForTheirTerminals) {
  StoreDir sd;
  KmStore* store = sd.store.get();
  std::string log, err;
  int n = km_install(std::string(QUVO_SOURCE_DIR) + "/data/keymaps", *store, &log, &err);
  ASSERT_GT(n, 0) << err;
  EXPECT_EQ(km_install(std::string(QUVO_SOURCE_DIR) + "/data/keymaps", *store, &log, &err), n);  // installed again
  for (const char* term : {"xterm", "xterm-256color", "tmux-256color", "screen", "linux", "vt100"}) {
    Keymap km;
    ASSERT_TRUE(stored(*store, term, &km)) << log;
    // The keys every terminal needs.
    for (uint32_t code : {304u, 274u, 278u, 20002u, 20003u, 20000u, 20001u, 20004u, 20009u})
      EXPECT_NE(km.trie.find_code(code), nullptr) << term << " lacks " << km_option_name(code);
  }
  Keymap km;
  ASSERT_TRUE(stored(*store, "xterm", &km));
  // F1 from terminfo.
  int node = 0;
  for (char c : std::string("\x1bOP")) node = km.trie.step(node, uint8_t(c));
  ASSERT_NE(km.trie.entry(node), nullptr);
  EXPECT_EQ(km.trie.entry(node)->values, std::vector<uint32_t>{276});
}

TEST(Keymap, BootstrapKeepsRecordedKeymaps) {
  StoreDir sd;
  KmStore* store = sd.store.get();
  Keymap mine;
  mine.term = "xterm";
  mine.recorded = true;
  mine.trie.add("\x1bOR", {304});
  std::string log, err;
  ASSERT_TRUE(store->put("xterm", "", km_encode(mine), &err)) << err;
  ASSERT_GT(km_install(std::string(QUVO_SOURCE_DIR) + "/data/keymaps", *store, &log, &err), 0) << err;
  EXPECT_NE(log.find("xterm: kept the keymap recorded with -k"), std::string::npos) << log;
  Keymap got;
  ASSERT_TRUE(stored(*store, "xterm", &got));
  EXPECT_TRUE(got.recorded);
  EXPECT_EQ(got.trie.size(), 1u);
  EXPECT_EQ(got.trie.find_code(304)->seq, "\x1bOR");
}

// A member of the engine's group plants names in the shared keymap store:
// the store neither follows nor truncates them, reads only regular files up
// to its cap, and makes its files 0660 and its directory 3770 whatever the
// umask.
TEST(Keymap, StoreFilesAreSafeAgainstPlantedNames) {
  StoreDir sd;
  const std::string& dir = sd.dir;
  KmStore* store = sd.store.get();
  std::string err, why;
  Keymap km;
  km.term = "vt100";
  km.trie.add("\r", {304});
  ASSERT_TRUE(store->put("vt100", "", km_encode(km), &err)) << err;
  std::string victim = dir + "/victim";
  { std::ofstream(victim) << "precious"; }
  // Links under the record's name and under names a writer might use.
  std::string kd = dir + "/keymaps";
  ASSERT_EQ(symlink(victim.c_str(), (kd + "/vt100.UBOB.key").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), (kd + "/vt100.UBOB.key.new").c_str()), 0);
  for (int i = 0; i < 4; ++i)
    symlink(victim.c_str(), (kd + "/vt100.UBOB.key.new" + std::to_string(getpid()) + "." + std::to_string(i)).c_str());
  mode_t old = umask(0);
  bool put = store->put("vt100", "BOB", km_encode(km), &err);
  umask(old);
  ASSERT_TRUE(put) << err;
  std::ifstream v(victim);
  std::string text((std::istreambuf_iterator<char>(v)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "precious");
  struct stat st;
  ASSERT_EQ(lstat((kd + "/vt100.UBOB.key").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  // Only an entry's owner replaces it in the store's directory.
  ASSERT_EQ(lstat(kd.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 03770u);
  // A link to a device or an endless file is not read, and says so.
  unlink((kd + "/vt100.UBOB.key").c_str());
  ASSERT_EQ(symlink("/dev/zero", (kd + "/vt100.UBOB.key").c_str()), 0);
  std::vector<uint8_t> rec;
  EXPECT_FALSE(store->get("vt100", "BOB", &rec, &why));
  EXPECT_NE(why.find("vt100.UBOB.key"), std::string::npos) << why;
  unlink((kd + "/vt100.UBOB.key").c_str());
  {
    std::ofstream big(kd + "/vt100.UBOB.key", std::ios::binary);
    big << std::string(kKmMaxFile + 1, 'Q');
  }
  why.clear();
  EXPECT_FALSE(store->get("vt100", "BOB", &rec, &why));
  EXPECT_NE(why.find("larger than a keymap can be"), std::string::npos) << why;
  ASSERT_EQ(truncate((kd + "/vt100.UBOB.key").c_str(), off_t(kKmMaxFile)), 0);  // the largest is read
  EXPECT_TRUE(store->get("vt100", "BOB", &rec, &why));
  EXPECT_EQ(rec.size(), kKmMaxFile);
  km_set_store(store);
  Keymap got;
  EXPECT_EQ(km_find("vt100", "BOB", &got, &why), 1);  // every user's record still serves
}

}  // namespace
