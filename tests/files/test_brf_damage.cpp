// Damaged native files and the file utilities: what is no data file is named
// as such; the rebuild finds sound slots again past damage, keeps every
// intact record byte for byte, keeps what it leaves out in the side file and
// says so in its exit status; a damaged file header is restored from the
// index's copy; verify says when it rolled back a dead change, or when one is
// pending; a crafted journal entry never writes outside the files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "files/brf.h"
#include "files/brf_crash.h"
#include "files/brf_mixed.h"
#include "files/brf_support.h"
#include "files/brfanal.h"
#include "files/fm.h"
#include "files/unixio.h"

namespace {

using Bytes = BrfBytes;

// quvo with the given arguments; its exit status, its output in *out.
int quvo(const BrfTempDir& d, const std::string& args, std::string* out, const std::string& prefix = "") {
  std::string cmd = prefix + "env -i PATH=/usr/bin:/bin QUVO_TEST_HOME='" + d.path + "' '" QUVO_BINARY "' " + args +
                    " > '" + d.path + "/out' 2>&1";
  int ws = std::system(cmd.c_str());
  std::ifstream in(d.path + "/out");
  *out = std::string(std::istreambuf_iterator<char>(in), {});
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

std::string q(const std::string& p) { return "'" + p + "'"; }

// quvo with the given arguments ends with status and says every text of has;
// its output in *out.
::testing::AssertionResult says(const BrfTempDir& d, const std::string& args, std::string* out, int status,
                                std::initializer_list<std::string> has = {}) {
  int rc = quvo(d, args, out);
  if (rc != status) return ::testing::AssertionFailure() << "status " << rc << ", not " << status << ": " << *out;
  for (const std::string& h : has)
    if (out->find(h) == std::string::npos) return ::testing::AssertionFailure() << "no \"" << h << "\" in: " << *out;
  return ::testing::AssertionSuccess();
}

// A file of variable records (24..~560 bytes) with free slots and moved
// records; the records kept, by unique key.
std::map<std::string, Bytes> build(const std::string& p, uint32_t seed, int n, bool var = true) {
  return brf_build_mixed(p, seed, n, {var, 400, 6});
}

// Every record the file delivers, by unique key (nullopt-like: false when
// it cannot be opened). A record delivered twice or not written fails.
bool read_all(const std::string& p, std::map<std::string, Bytes>* got, std::string* err) {
  BrfFile* f;
  if (brf_open(p, false, &f)) {
    *err = brf_error();
    return false;
  }
  BrfReader rd;
  rd.scan(f, 0, [&](const BtCursor&) {
    EXPECT_TRUE(got->emplace(std::string(rd.buf.begin(), rd.buf.begin() + 20), rd.rec()).second) << "delivered twice";
    return true;
  });
  brf_close(f, false);
  return true;
}

// Whether the file delivers exactly the records recs.
::testing::AssertionResult holds(const std::string& p, const std::map<std::string, Bytes>& recs) {
  std::map<std::string, Bytes> got;
  std::string err;
  if (!read_all(p, &got, &err)) return ::testing::AssertionFailure() << err;
  if (got != recs)
    return ::testing::AssertionFailure() << got.size() << " records, not the " << recs.size() << " written";
  return ::testing::AssertionSuccess();
}

struct SlotPos {
  uint32_t pos, len;
  uint8_t state;
};

// The slots of a sound data file, read independently of the engine.
std::vector<SlotPos> slots_of(const Bytes& data) {
  std::vector<SlotPos> v;
  uint32_t end = rec::view<BrfFileHdr>(data.data()).end.get();
  for (uint32_t pos = kBrfHdrSize; pos < end;) {
    const auto& h = rec::view<BrfSlotHdr>(data.data() + pos);
    v.push_back({pos, h.len.get(), h.state.get()});
    pos += kBrfSlotOver + h.len.get();
  }
  return v;
}

uint64_t env_u64(const char* name, uint64_t dflt) {
  const char* s = std::getenv(name);
  return s && *s ? std::strtoull(s, nullptr, 10) : dflt;
}

bool contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

}  // namespace

// An index file, a journal, a side file or any other file is no data file:
// verify and rebuild say so (status 2) and advise nothing that would refuse.
TEST(BrfDamage, WhatIsNoDataFileIsNamedSo) {
  BrfTempDir d;
  std::string p = d.file("PLAIN");
  build(p, 1, 40);
  brf_spit(d.file("TEXT"), Bytes(2000, 'x'));
  brf_spit(d.file("TINY"), Bytes(10, 'x'));
  std::string out;
  for (std::string other : {brf_index_path(p), brf_journal_path(p), d.file("TEXT"), d.file("TINY")}) {
    for (const char* mode : {"-fv", "-fa", "-fr"}) {
      EXPECT_TRUE(says(d, std::string(mode) + " " + q(other), &out, 2));
      EXPECT_NE(out.find("not a native data file"), std::string::npos) << mode << " " << other << ": " << out;
      EXPECT_EQ(out.find("rebuild"), std::string::npos) << out;
      EXPECT_EQ(out.find("missing"), std::string::npos) << out;
    }
  }
  EXPECT_EQ(quvo(d, "-fv " + q(brf_index_path(p)), &out), 2);
  EXPECT_NE(out.find("index file of " + p), std::string::npos) << out;
  EXPECT_FALSE(brf_exists(brf_index_path(brf_index_path(p))));
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 0));
}

// The damage run: slot headers, free slots and the file header of a file of
// a few thousand records are flipped, zeroed and cut. After the rebuild
// every record that was intact is there byte for byte, nothing is there that
// was not written, the exit status says whether anything was left out, the
// side file holds what was left out, and verify finds the file sound with the
// counts the rebuild reported.
namespace {
void damage_run(bool var) {
  BrfTempDir d;
  std::string p = d.file("MANY");
  // QUVO_DAMAGE_SEED and QUVO_DAMAGE_CASES make a longer or other run.
  const uint64_t seed = env_u64("QUVO_DAMAGE_SEED", 2024);
  // Under the sanitizers each kind of damage is met four times (twice for
  // fixed-length records), which keeps the pass short.
#if defined(__SANITIZE_ADDRESS__)
  const int ncases = int(env_u64("QUVO_DAMAGE_CASES", var ? 48 : 24));
#else
  const int ncases = int(env_u64("QUVO_DAMAGE_CASES", var ? 144 : 72));
#endif
  const auto recs = build(p, uint32_t(seed * 7), 3600, var);
  const Bytes data0 = brf_slurp(p), index0 = brf_slurp(brf_index_path(p)), jnl0 = brf_slurp(brf_journal_path(p));
  const std::vector<SlotPos> slots = slots_of(data0);
  const uint32_t end0 = rec::view<BrfFileHdr>(data0.data()).end.get();
  // Where each record's bytes lie (a moved record: its own slot).
  std::map<std::string, uint32_t> at;
  for (const SlotPos& s : slots)
    if (brf_is_live(s.state)) at[std::string(data0.begin() + s.pos + kBrfSlotHdr, data0.begin() + s.pos + 32)] = s.pos;
  ASSERT_EQ(at.size(), recs.size());
  std::vector<SlotPos> frees;
  for (const SlotPos& s : slots)
    if (s.state == kBrfFree) frees.push_back(s);
  ASSERT_GT(frees.size(), 20u);
  std::mt19937 rng{uint32_t(seed)};
  int cases = 0, whole = 0, partial = 0;
  const char* kinds[] = {"flip slot header", "flip free slot",  "zero slot header", "zero 512-byte block",
                         "cut in a slot",    "flip file header", "zero file header", "wrong free length",
                         "cut out bytes",    "cut in free slot", "cut in file header", "several at once"};
  for (int i = 0; i < ncases; ++i) {
    int kind = i % 12;
    Bytes data = data0;
    // shift: bytes from cut_at on moved back by cut_n (cut out), or lost (cut).
    uint32_t cut_at = UINT32_MAX, cut_n = 0;
    std::vector<std::pair<uint32_t, uint32_t>> hit;  // damaged ranges of the original
    const SlotPos& s = slots[rng() % slots.size()];
    const SlotPos& fr = frees[rng() % frees.size()];
    switch (kind) {
      case 0:
        for (int j = 0, n = 1 + int(rng() % 3); j < n; ++j) data[s.pos + rng() % kBrfSlotHdr] ^= uint8_t(1u << (rng() % 8));
        hit.push_back({s.pos, kBrfSlotHdr});
        break;
      case 1:
        for (int j = 0, n = 1 + int(rng() % 3); j < n; ++j) data[fr.pos + rng() % kBrfSlotHdr] ^= uint8_t(1u << (rng() % 8));
        hit.push_back({fr.pos, kBrfSlotHdr});
        break;
      case 2:
        std::memset(data.data() + s.pos, 0, kBrfSlotHdr);
        hit.push_back({s.pos, kBrfSlotHdr});
        break;
      case 3: {
        uint32_t a = kBrfHdrSize + rng() % (end0 - kBrfHdrSize - 512);
        std::memset(data.data() + a, 0, 512);
        hit.push_back({a, 512});
        break;
      }
      case 4:
        cut_at = s.pos + rng() % kBrfSlotHdr;
        data.resize(cut_at);
        break;
      case 5: {
        uint32_t a = rng() % kBrfHdrSize;
        data[a] ^= uint8_t(1u << (rng() % 8));
        break;
      }
      case 6:
        std::memset(data.data(), 0, kBrfHdrSize);
        break;
      case 7: {
        auto& h = rec::view<BrfSlotHdr>(data.data() + fr.pos);
        h.len = h.len.get() + 16 + rng() % 3000;
        hit.push_back({fr.pos, kBrfSlotHdr});
        break;
      }
      case 8:
        cut_at = s.pos + rng() % (kBrfSlotOver + s.len);
        cut_n = 1 + rng() % 40;
        data.erase(data.begin() + cut_at, data.begin() + std::min<size_t>(data.size(), cut_at + cut_n));
        break;
      case 9:
        cut_at = fr.pos + kBrfSlotOver + rng() % fr.len;
        data.resize(cut_at);
        break;
      case 10:
        cut_at = rng() % kBrfHdrSize;
        data.resize(cut_at);
        break;
      case 11:
        // Flips and zeroed runs anywhere, the file header too.
        for (int j = 0, n = 2 + int(rng() % 4); j < n; ++j) {
          uint32_t a = rng() % end0, len = rng() % 2 ? 1 : 1 + rng() % 600;
          len = std::min(len, end0 - a);
          for (uint32_t x = a; x < a + len; ++x) data[x] = len == 1 ? data[x] ^ uint8_t(1u << (rng() % 8)) : 0;
          hit.push_back({a, len});
        }
        break;
    }
    if (data == data0) continue;
    brf_spit(p, data);
    brf_spit(brf_index_path(p), index0);
    brf_spit(brf_journal_path(p), jnl0);
    std::remove(brfanal_lost_path(p).c_str());
    ++cases;
    // Intact: no byte of its slot damaged, cut or cut out.
    // Bytes kept: its bytes undamaged (its slot header may not be).
    std::map<std::string, Bytes> intact, bytes_kept;
    for (auto& [k, rec] : recs) {
      uint32_t a = at.at(k), b = a + kBrfSlotOver + uint32_t(rec.size());
      bool ok = true, kept = true;
      for (auto& [x, n] : hit) {
        ok = ok && (b <= x || a >= x + n);
        kept = kept && (b - 4 <= x || a + kBrfSlotHdr >= x + n);
      }
      if (cut_at != UINT32_MAX) ok = kept = ok && (b <= cut_at || (cut_n && a >= cut_at + cut_n));
      if (ok) intact[k] = rec;
      if (kept) bytes_kept[k] = rec;
    }
    BrfCheck c;
    ASSERT_EQ(brfanal_verify(p, &c), 0u) << kinds[kind] << ": " << brf_error();
    std::vector<std::string> log;
    BrfRebuilt r;
    ASSERT_EQ(brfanal_rebuild(p, &log, &r), 0u) << kinds[kind] << ": " << brf_error();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), r.summary);
    std::map<std::string, Bytes> got;
    std::string err;
    ASSERT_TRUE(read_all(p, &got, &err)) << kinds[kind] << ": " << err;
    for (auto& [k, rec] : intact) {
      auto it = got.find(k);
      ASSERT_TRUE(it != got.end()) << "case " << i << " (" << kinds[kind] << "): an intact record is gone: " << k
                                   << "\n" << ::testing::PrintToString(log);
      EXPECT_EQ(it->second, rec) << k;
    }
    for (auto& [k, rec] : got) {
      auto it = recs.find(k);
      ASSERT_TRUE(it != recs.end() && it->second == rec) << "case " << i << ": a record that was never written";
    }
    bool all = got.size() == recs.size();
    EXPECT_EQ(r.records, got.size());
    if (!all) {
      EXPECT_FALSE(r.complete()) << "case " << i << " (" << kinds[kind] << "): records lost, exit 0";
    }
    if (r.complete()) {
      EXPECT_TRUE(all);
      ++whole;
    } else {
      ++partial;
      // What is gone is in the side file, bytes and all.
      Bytes side = brf_slurp(brfanal_lost_path(p));
      if (r.left_ranges) {
        EXPECT_EQ(r.side_file, brfanal_lost_path(p));
      }
      for (auto& [k, rec] : recs)
        if (!got.count(k) && bytes_kept.count(k)) {
          EXPECT_TRUE(contains(side, rec)) << "case " << i << " (" << kinds[kind] << "): " << k << " lost for good";
        }
    }
    ASSERT_EQ(brfanal_verify(p, &c), 0u);
    EXPECT_TRUE(c.sound()) << kinds[kind] << ": " << ::testing::PrintToString(c.problems);
    EXPECT_EQ(c.records, r.records);
    ASSERT_FALSE(c.trees.empty());
    EXPECT_EQ(c.trees[0].second, r.records);
  }
  EXPECT_GT(cases, ncases * 9 / 10);
  std::printf("%d damaged copies: %d rebuilt whole, %d with ranges left out\n", cases, whole, partial);
}
}  // namespace

TEST(BrfDamage, RebuildKeepsEveryIntactRecord) { damage_run(true); }
TEST(BrfDamage, RebuildKeepsEveryIntactFixedRecord) { damage_run(false); }

// The engine's run mode: a damaged free slot's length hides the records
// behind it no longer; the report names the range and ends with its summary
// even past its cap of lines; the exit status says a range was left out.
TEST(BrfDamage, RunModeReportsEveryLeftOutRangeAndItsSummary) {
  BrfTempDir d;
  std::string p = d.file("RUN");
  auto recs = build(p, 3, 1200);
  Bytes data = brf_slurp(p);
  auto slots = slots_of(data);
  // A free slot's length made to reach far.
  for (const SlotPos& s : slots)
    if (s.state == kBrfFree) {
      rec::view<BrfSlotHdr>(data.data() + s.pos).len = s.len + 4000;
      break;
    }
  // And 80 damaged records.
  int n = 0;
  for (size_t i = slots.size() / 2; i < slots.size() && n < 80; i += 3)
    if (slots[i].state == kBrfLive) {
      data[slots[i].pos + kBrfSlotHdr + 30] ^= 0x40;
      ++n;
    }
  brf_spit(p, data);
  std::string out;
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 2));
  EXPECT_NE(out.find("NOT SOUND"), std::string::npos);
  EXPECT_NE(out.find("quvo -fr"), std::string::npos) << out;
  EXPECT_TRUE(says(d, "-fr " + q(p), &out, 2));
  size_t lines = 0;
  for (char ch : out) lines += ch == '\n';
  EXPECT_GT(lines, 80u);
  EXPECT_NE(out.find("a free slot"), std::string::npos) << out;
  std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
  std::map<std::string, Bytes> got;
  std::string err;
  ASSERT_TRUE(read_all(p, &got, &err)) << err;
  EXPECT_LE(got.size(), recs.size() - 79);
  std::string kept = std::to_string(got.size());
  EXPECT_NE(last.find("index rebuilt: " + kept + " records kept; 81 ranges"), std::string::npos) << last;
  EXPECT_NE(last.find(brfanal_lost_path(p)), std::string::npos) << last;
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 0, {"sound (" + kept + " records", "key 0 " + kept + ", key 1 " + kept}));
  // The side file: 81 entries, each with its own sum.
  Bytes side = brf_slurp(brfanal_lost_path(p));
  size_t entries = 0;
  for (size_t off = 0; off + sizeof(BrfLostHdr) <= side.size(); ++entries) {
    const auto& h = rec::view<BrfLostHdr>(side.data() + off);
    ASSERT_TRUE(h.magic == "QVLO");
    ASSERT_LE(off + sizeof h + h.len.get(), side.size());
    EXPECT_EQ(h.sum.get(), uio_crc32c(side.data() + off + sizeof h, h.len.get(), 0x4C4F5354u));
    off += sizeof h + h.len.get();
  }
  EXPECT_EQ(entries, 81u);
  // A rebuild of the sound file leaves nothing out and says so.
  EXPECT_TRUE(says(d, "-fr " + q(p), &out, 0, {"nothing left out"}));
}

// One damaged byte anywhere in the file header (an unused key slot too):
// open refuses, verify advises the rebuild, the rebuild restores the header
// from the index's copy with every record. Without a copy (an index written
// before copies were kept) verify advises nothing that would fail, and such
// an index still opens.
TEST(BrfDamage, DamagedHeaderIsRestoredFromItsCopy) {
  BrfTempDir d;
  std::string p = d.file("HDR");
  auto recs = build(p, 5, 300);
  const Bytes data0 = brf_slurp(p), index0 = brf_slurp(brf_index_path(p));
  std::string out;
  for (uint32_t at : {5u, 12u, 16u, 30u, 44u, 50u, 64u + 4 * 10, 132u + 6 * 40 + 2, 500u, 509u}) {
    Bytes data = data0;
    data[at] ^= 0x08;
    brf_spit(p, data);
    brf_spit(brf_index_path(p), index0);
    BrfFile* f;
    EXPECT_EQ(brf_open(p, false, &f), FM_ST_SYS) << at;
    EXPECT_TRUE(says(d, "-fv " + q(p), &out, 2));
    EXPECT_NE(out.find("header is damaged"), std::string::npos) << at << ": " << out;
    EXPECT_NE(out.find("restores the header"), std::string::npos) << at << ": " << out;
    EXPECT_EQ(quvo(d, "-fr " + q(p), &out), 0) << at << ": " << out;
    EXPECT_NE(out.find("restored from the copy"), std::string::npos) << out;
    EXPECT_TRUE(holds(p, recs)) << at;
    EXPECT_EQ(quvo(d, "-fv " + q(p), &out), 0) << at << ": " << out;
  }
  // A header of another version, or one asking for short lengths, is none
  // of this engine's, its check sum sound or not.
  for (auto harm : {+[](BrfFileHdr& h) { h.version = 2; }, +[](BrfFileHdr& h) { h.flags = 2; }}) {
    BrfFileHdr h = rec::view<BrfFileHdr>(data0.data());
    harm(h);
    h.sum = brf_hdr_sum(h);
    EXPECT_FALSE(brf_decode_hdr(h, nullptr, nullptr));
  }
  // A zeroed header.
  Bytes data = data0;
  std::memset(data.data(), 0, kBrfHdrSize);
  brf_spit(p, data);
  brf_spit(brf_index_path(p), index0);
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 2));
  EXPECT_TRUE(says(d, "-fr " + q(p), &out, 0));
  EXPECT_TRUE(holds(p, recs));
  // The header of a file without records (no room past its end mark).
  {
    std::string e = d.file("EMPTY");
    BrfFile* f;
    ASSERT_EQ(brf_create(e, brf_test_layout(600, true), false, &f), 0u);
    brf_close(f, false);
    Bytes b = brf_slurp(e);
    b[100] ^= 4;
    brf_spit(e, b);
    EXPECT_TRUE(says(d, "-fr " + q(e), &out, 0));
    EXPECT_TRUE(says(d, "-fv " + q(e), &out, 0));
  }
  // An index without a copy still opens and verifies.
  Bytes old = index0;
  std::memset(old.data() + offsetof(BtHdr, data_hdr), 0, kBrfHdrSize);
  brf_spit(p, data0);
  brf_spit(brf_index_path(p), old);
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 0));
  // Then a damaged header cannot be restored, and verify does not pretend.
  data = data0;
  data[200] ^= 1;
  brf_spit(p, data);
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 2, {"no copy"}));
  EXPECT_EQ(out.find("-fr"), std::string::npos) << out;
  EXPECT_TRUE(says(d, "-fr " + q(p), &out, 2, {"cannot be rebuilt"}));
  EXPECT_EQ(brf_slurp(p), data);
}

namespace {

// A child that begins a change, changes the header's live count and a page,
// and dies before completing it.
void die_in_a_change(const std::string& p) {
  pid_t pid = fork();
  if (pid == 0) {
    BrfFile* f;
    if (brf_open(p, false, &f)) _exit(3);
    if (bt_begin(f->st) != kBtOk) _exit(4);
    if (bt_touch_data(f->st, 0, kBrfHdrSize) != kBtOk) _exit(5);
    auto& h = rec::view<BrfFileHdr>(f->st.dmap);
    h.live = h.live.get() + 7;
    _exit(0);
  }
  int ws = 0;
  waitpid(pid, &ws, 0);
  ASSERT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
}

uint64_t counter_of(const std::string& p) {
  Bytes ix = brf_slurp(brf_index_path(p));
  return rec::view<BtHdr>(ix.data()).counter.get();
}

}  // namespace

// Verify after a process died in a change: it says it completed a recovery
// (a user who may not write the file hears that one is pending, and the file
// stays untouched); a damaged journal header while no change is under way is
// named as such.
TEST(BrfDamage, VerifySaysWhatItRecovered) {
  BrfTempDir d;
  std::string p = d.file("REC");
  build(p, 9, 60);
  std::string out;
  die_in_a_change(p);
  ASSERT_EQ(counter_of(p) & 1, 1u);
  if (geteuid() == 0) {
    // As a user who may read but not write it.
    ASSERT_EQ(::chmod(d.path.c_str(), 0755), 0);
    for (std::string f : {p, brf_index_path(p), brf_journal_path(p)}) ASSERT_EQ(::chmod(f.c_str(), 0644), 0);
    Bytes before = brf_slurp(p);
    EXPECT_EQ(quvo(d, "-fv " + q(p), &out, "setpriv --reuid=65534 --regid=65534 --clear-groups "), 2) << out;
    EXPECT_NE(out.find("recovery is pending"), std::string::npos) << out;
    EXPECT_NE(out.find("a user who may write"), std::string::npos) << out;
    EXPECT_EQ(counter_of(p) & 1, 1u);
    EXPECT_EQ(brf_slurp(p), before);
  }
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 0, {"completed a recovery", "sound (50 records"}));
  EXPECT_EQ(counter_of(p) & 1, 0u);
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 0));
  EXPECT_EQ(out.find("recovery"), std::string::npos) << out;
  // A damaged journal header, no change under way.
  Bytes jn = brf_slurp(brf_journal_path(p));
  jn[1] ^= 0x20;
  brf_spit(brf_journal_path(p), jn);
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 2, {"journal's header is damaged; no change is under way"}));
  EXPECT_EQ(out.find("index file is not sound"), std::string::npos) << out;
  EXPECT_TRUE(says(d, "-fr " + q(p), &out, 0));
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 0));
}

// A journal entry with a sound check sum whose offset lies near 2^64 (so
// that offset + length wraps below the bound), or whose bytes end one past
// the file's end: no rollback copies it; verify reports it, the rebuild
// clears it and the file is sound again.
TEST(BrfDamage, JournalEntryOutsideTheFileIsDamage) {
  for (bool wraps : {true, false}) {
    SCOPED_TRACE(wraps);
    BrfTempDir d;
    std::string p = d.file("JNL");
    auto recs = build(p, 11, 80);
    die_in_a_change(p);
    uint64_t txn = counter_of(p);
    ASSERT_EQ(txn & 1, 1u);
    Bytes jn = brf_slurp(brf_journal_path(p));
    auto& e = rec::view<BtJnlEnt>(jn.data() + sizeof(BtJnlHdr));
    ASSERT_EQ(e.txn.get(), txn);
    ASSERT_EQ(e.file.get(), 1);  // the data file's header
    uint32_t len = e.len.get();
    uint32_t padded = (len + 7) & ~7u;
    e.off = wraps ? uint64_t(0) - len / 2 : std::filesystem::file_size(p) - len + 1;
    // The entry's check sum, as the journal's format defines it.
    uint64_t seed = e.txn.get() * 0x9E3779B97F4A7C15ull ^ (uint64_t(e.file.get()) << 56) ^
                    (uint64_t(e.len.get()) << 20) ^ e.off.get() * 0xC2B2AE3D27D4EB4Full;
    e.sum = uio_sum64(jn.data() + sizeof(BtJnlHdr) + sizeof(BtJnlEnt), padded, seed);
    brf_spit(brf_journal_path(p), jn);
    std::string out;
    EXPECT_TRUE(says(d, "-fv " + q(p), &out, 2, {"names bytes outside the file", "quvo -fr"}));
    BrfFile* f;
    EXPECT_EQ(brf_open(p, false, &f), FM_ST_SYS);
    EXPECT_TRUE(says(d, "-fr " + q(p), &out, 2, {"could not be rolled back"}));
    EXPECT_TRUE(says(d, "-fv " + q(p), &out, 0));
    EXPECT_TRUE(holds(p, recs));
  }
}

// A dead change whose journal's header is damaged cannot be rolled back:
// verify says so, the rebuild clears the journal, keeps every record and
// says the file was not whole.
TEST(BrfDamage, DeadChangeWithADamagedJournal) {
  BrfTempDir d;
  std::string p = d.file("JHDR");
  auto recs = build(p, 12, 80);
  die_in_a_change(p);
  Bytes jn = brf_slurp(brf_journal_path(p));
  jn[0] ^= 0x01;
  brf_spit(brf_journal_path(p), jn);
  std::string out;
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 2, {"cannot be rolled back: its journal's header is damaged", "quvo -fr"}));
  EXPECT_TRUE(says(d, "-fr " + q(p), &out, 2, {"could not be rolled back"}));
  EXPECT_TRUE(says(d, "-fv " + q(p), &out, 0));
  EXPECT_TRUE(holds(p, recs));
}

// Records of every length from 1 to the file's maximum are records, not
// damage; and at the largest maximum too.
TEST(BrfDamage, RecordsOfEveryLength) {
  BrfTempDir d;
  for (uint16_t max : {uint16_t(700), uint16_t(kBrfMaxRec)}) {
    std::string p = d.file("LEN" + std::to_string(max));
    BrfLayout lay;
    lay.rec_len = max;
    lay.var = 1;
    lay.org = 2;
    BrfFile* f;
    ASSERT_EQ(brf_create(p, lay, false, &f), 0u);
    std::vector<uint32_t> lens;
    if (max == kBrfMaxRec)
      lens = {1, 2, 3, 100, 32765, 32766, 32767};
    else
      for (uint32_t n = 1; n <= max; ++n) lens.push_back(n);
    std::map<uint32_t, Bytes> want;  // by write order
    for (uint32_t n : lens) {
      Bytes r(n);
      for (uint32_t i = 0; i < n; ++i) r[i] = uint8_t(n * 7 + i);
      uint32_t rid;
      ASSERT_EQ(brf_insert(f, r.data(), n, &rid), 0u) << n;
      want[uint32_t(want.size())] = r;
    }
    brf_close(f, false);
    for (int pass = 0; pass < 2; ++pass) {
      BrfCheck c;
      ASSERT_EQ(brfanal_verify(p, &c), 0u);
      EXPECT_TRUE(c.sound()) << ::testing::PrintToString(c.problems);
      EXPECT_EQ(c.records, lens.size());
      BrfRebuilt r;
      ASSERT_EQ(brfanal_rebuild(p, nullptr, &r), 0u) << brf_error();
      EXPECT_TRUE(r.complete()) << r.summary;
      EXPECT_EQ(r.records, lens.size());
      ASSERT_EQ(brf_open(p, false, &f), 0u);
      BrfReader rd;
      size_t i = 0;
      rd.scan(f, kBtOrderTree, [&](const BtCursor&) {
        if (i >= lens.size()) return ++i, false;  // one record too many
        EXPECT_EQ(rd.rec(), want[uint32_t(i)]) << "length " << lens[i];
        return ++i, true;
      });
      EXPECT_EQ(i, lens.size());
      brf_close(f, false);
    }
  }
}

// Files that killed writers left behind are sound, not damaged: a rebuild of
// one leaves nothing out and keeps what was acknowledged.
TEST(BrfDamage, RebuildAfterKilledWritersLeavesNothingOut) {
  BrfTempDir d;
  std::string p = d.file("KILLED");
  BrfFile* f;
  ASSERT_EQ(brf_create(p, brf_crash::layout(), false, &f), 0u) << brf_error();
  brf_close(f, false);
  std::mt19937 rng(4242);
  std::map<uint32_t, uint32_t> versions;
  for (int i = 0; i < 40; ++i) {
    brf_crash::Round r = brf_crash::round(p, versions, rng, 4000);
    ASSERT_TRUE(r.error.empty()) << "kill " << i << ": " << r.error;
    if (i % 4 != 3) continue;
    BrfRebuilt rb;
    std::vector<std::string> log;
    ASSERT_EQ(brfanal_rebuild(p, &log, &rb), 0u) << brf_error();
    EXPECT_TRUE(rb.complete()) << ::testing::PrintToString(log);
    EXPECT_EQ(rb.records, versions.size());
  }
}

// A rebuild of a damaged file changes the data file in place (a damaged slot
// becomes free space): killed at any of its steps, it leaves the file as it
// was with its old index, or rebuilt with its new one, never the old index
// over changed records; a rebuild run again keeps every intact record.
TEST(BrfDamage, ARebuildKilledAtAnyStepChangesNothingUnderTheOldIndex) {
  BrfTempDir d;
  std::string p = d.file("KILLED");
  auto recs = build(p, 31, 200);
  Bytes data = brf_slurp(p);
  std::vector<SlotPos> slots = slots_of(data);
  std::map<std::string, Bytes> intact = recs;
  for (const SlotPos& s : slots)
    if (s.state == kBrfLive && s.len > 40 && s.pos > 4000) {
      data[s.pos + kBrfSlotHdr + 30] ^= 0x10;  // its check sum no longer holds
      intact.erase(std::string(data.begin() + s.pos + kBrfSlotHdr, data.begin() + s.pos + kBrfSlotHdr + 20));
      break;
    }
  ASSERT_EQ(intact.size(), recs.size() - 1);
  const Bytes index = brf_slurp(brf_index_path(p)), jnl = brf_slurp(brf_journal_path(p));
  const uint32_t gen0 = rec::view<BtHdr>(index.data()).generation.get();
  const uint32_t end0 = rec::view<BrfFileHdr>(data.data()).end.get();
  auto damaged = [&] {
    brf_spit(p, data);
    brf_spit(brf_index_path(p), index);
    brf_spit(brf_journal_path(p), jnl);
    std::remove(brfanal_lost_path(p).c_str());
  };
  uio_set_sync_mode(1);
  damaged();
  std::string why;
  int steps = brf_crash::rebuild_steps(p, &why);
  ASSERT_EQ(why, "");
  ASSERT_GT(steps, 10);
  int old_kept = 0;
  for (int k = 1; k <= steps; ++k) {
    damaged();
    pid_t pid = fork();
    if (pid == 0) {
      brf_crash::StepKill::seen = 0;
      brf_crash::StepKill::kill_at = k;
      uio_set_trace(brf_crash::StepKill::trace);
      brfanal_rebuild(p, nullptr);
      _exit(0);
    }
    int ws;
    waitpid(pid, &ws, 0);
    ASSERT_TRUE(WIFSIGNALED(ws)) << "step " << k;
    BrfFile* f;
    ASSERT_EQ(brf_open(p, false, &f), 0u) << "step " << k << ": " << brf_error();
    brf_close(f, false);
    Bytes now = brf_slurp(p);
    if (rec::view<BtHdr>(brf_slurp(brf_index_path(p)).data()).generation.get() == gen0) {
      ++old_kept;
      ASSERT_GE(now.size(), size_t(end0));
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + end0, now.begin())) << "step " << k << ": changed records under the old index";
    } else {
      BrfCheck c;
      ASSERT_EQ(brfanal_verify(p, &c), 0u);
      EXPECT_TRUE(c.sound()) << "step " << k << ": " << ::testing::PrintToString(c.problems);
    }
    ASSERT_EQ(brfanal_rebuild(p, nullptr), 0u) << "step " << k << ": " << brf_error();
    std::map<std::string, Bytes> got;
    ASSERT_TRUE(read_all(p, &got, &why)) << why;
    for (auto& [key, rec] : intact) EXPECT_TRUE(got.count(key) && got[key] == rec) << "step " << k << ": " << key;
  }
  EXPECT_GT(old_kept, 3);
  uio_set_sync_mode(-1);
}
