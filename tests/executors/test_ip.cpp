// The next sequence number of Add mode (ip_sno_add): the field's value plus
// the increment, checked against 128-bit integers; at the field's limit, and
// one past it, no number is given and the field keeps its value.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "executors/fp_engine.h"
#include "executors/fpchld.h"
#include "executors/ip.h"
#include "foundation/bi.h"
#include "foundation/pacdec.h"
#include "process/pcb.h"
#include "process/pipcf.h"
#include "process/pishr.h"
#include "support/syserr.h"

namespace {

using u128 = unsigned __int128;

std::vector<uint8_t> bin(uint64_t v, int size) {
  std::vector<uint8_t> b(static_cast<size_t>(size));
  for (int i = 0; i < size; ++i) b[size_t(i)] = uint8_t(v >> (8 * i));
  return b;
}
uint64_t bin_of(const std::vector<uint8_t>& b) {
  uint64_t v = 0;
  for (size_t i = b.size(); i-- > 0;) v = (v << 8) | b[i];
  return v;
}
std::vector<uint8_t> pk(u128 mag, int len, bool neg = false, int extra = 0) {
  std::vector<uint8_t> b(static_cast<size_t>(len + extra), 0x2A);
  pacdec::encode(b.data(), len, mag, neg);
  return b;
}
u128 pk_of(const std::vector<uint8_t>& b, int len, bool* neg = nullptr) {
  u128 m = 0;
  bool n = false;
  EXPECT_TRUE(pacdec::decode(b.data(), len, m, n));
  if (neg) *neg = n;
  return m;
}

class IpSno : public ::testing::Test {
 protected:
  void SetUp() override { bi_init_com(); }
};

// Binary fields of 1, 2 and 4 bytes, unsigned and signed: the sum up to the
// largest value; at it and one past it 0 with the field unchanged.
TEST_F(IpSno, BinaryFieldsUpToTheirLimit) {
  for (int size : {1, 2, 4})
    for (bool sgn : {false, true}) {
      u128 room = (u128(1) << (8 * size - (sgn ? 1 : 0)));  // largest + 1
      uint64_t top = uint64_t(room - 1);
      auto b = bin(top - 3, size);
      ASSERT_EQ(ip_sno_add(b.data(), 5, size, sgn, 0, 3), 1) << size;
      EXPECT_EQ(bin_of(b), top);
      EXPECT_EQ(ip_sno_add(b.data(), 5, size, sgn, 0, 1), 0) << size << sgn;
      EXPECT_EQ(bin_of(b), top);
      b = bin(top - 1, size);
      EXPECT_EQ(ip_sno_add(b.data(), 5, size, sgn, 0, 2), 0);
      EXPECT_EQ(bin_of(b), top - 1);
    }
  // The field's digits bound it first: four digits stop at 9999.
  auto b = bin(9998, 4);
  EXPECT_EQ(ip_sno_add(b.data(), 5, 4, false, 4, 1), 1);
  EXPECT_EQ(bin_of(b), 9999u);
  EXPECT_EQ(ip_sno_add(b.data(), 5, 4, false, 4, 1), 0);
  EXPECT_EQ(bin_of(b), 9999u);
}

// Packed fields (type 8 of 1-16 bytes, type 12 with its scale byte): the
// packed sum; at 10^digits and at the field's own room, 0 and unchanged.
TEST_F(IpSno, PackedFieldsUpToTheirLimit) {
  for (int len : {1, 4, 8, 9, 16}) {
    u128 room = pacdec::limit(len);
    uint32_t inc = len == 1 ? 3 : 10;
    auto b = pk(room - 1 - inc, len);
    ASSERT_EQ(ip_sno_add(b.data(), 8, len, true, 0, inc), 1) << len;
    EXPECT_TRUE(pk_of(b, len) == room - 1) << len;
    auto before = b;
    EXPECT_EQ(ip_sno_add(b.data(), 8, len, true, 0, 1), 0) << len;
    EXPECT_EQ(b, before);
  }
  auto b = pk(999, 4);
  EXPECT_EQ(ip_sno_add(b.data(), 8, 4, true, 4, 9000), 1);
  EXPECT_TRUE(pk_of(b, 4) == 9999);
  EXPECT_EQ(ip_sno_add(b.data(), 8, 4, true, 4, 1), 0);
  // A negative value moves up through zero.
  b = pk(2, 4, true);
  EXPECT_EQ(ip_sno_add(b.data(), 8, 4, true, 0, 5), 1);
  bool neg = true;
  EXPECT_TRUE(pk_of(b, 4, &neg) == 3);
  EXPECT_FALSE(neg);
  // Type 12: eight packed bytes, its scale byte untouched.
  b = pk(pacdec::limit(8) - 2, 8, false, 1);
  b[8] = 2;
  EXPECT_EQ(ip_sno_add(b.data(), 12, 9, true, 0, 1), 1);
  EXPECT_TRUE(pk_of(b, 8) == pacdec::limit(8) - 1);
  EXPECT_EQ(b[8], 2);
  EXPECT_EQ(ip_sno_add(b.data(), 12, 9, true, 0, 1), 0);
  // A value that is not packed gives no number.
  std::vector<uint8_t> bad{0xAB, 0xCD};
  EXPECT_EQ(ip_sno_add(bad.data(), 8, 2, true, 0, 1), 0);
  EXPECT_EQ(bad, (std::vector<uint8_t>{0xAB, 0xCD}));
}

// Another data type, or a binary size other than 1, 2, 4, is a system error.
TEST_F(IpSno, OtherTypesAreSystemErrors) {
  SysErrCapture cap(SysErrAnswer::Continue);
  uint8_t v[4] = {1, 0, 0, 0};
  EXPECT_EQ(ip_sno_add(v, 1, 4, false, 0, 1), 0);
  EXPECT_EQ(cap.last(), "unexpected sequence number data type");
  EXPECT_EQ(ip_sno_add(v, 5, 3, false, 0, 1), 0);
  EXPECT_EQ(cap.last(), "find_nxt_sno() - unexpected case switch");
  EXPECT_EQ(v[0], 1);
}

}  // namespace

namespace {

// The start mode over every combination of permissions, security, access
// 1/3 and fixed or varying records, against the rules written out case by
// case: what may be done is done, everything else is Inquire.
TEST(IpMode, CorrectionsOverEveryCombination) {
  for (int bits = 0; bits < 256; ++bits)
    for (int mode = 0; mode <= 6; ++mode) {
      IpModeFacts f;
      f.add = bits & 1;
      f.del = bits & 2;
      f.chg = bits & 4;
      f.add_sec = bits & 8;
      f.del_sec = bits & 16;
      f.chg_sec = bits & 32;
      f.access = bits & 64 ? 3 : 1;
      f.variable = bits & 128;
      bool can_add = f.add && f.add_sec;
      bool can_del = f.del && f.del_sec && f.access == 3;
      bool chg_allowed = f.chg && (!f.variable || f.access == 3);
      bool can_chg = chg_allowed && f.chg_sec;
      int want = 3;
      if (mode == 1) want = f.add ? (can_add ? 1 : 3) : (can_chg ? 4 : 3);
      if (mode == 2) want = can_del ? 2 : 3;
      if (mode == 4) want = can_chg ? 4 : 3;
      EXPECT_EQ(ip_correct_mode(mode, f), want) << "mode " << mode << " facts " << bits;
    }
  // Add without its permission, on a read-only file of fixed-length records
  // with Change permitted, starts in Change.
  IpModeFacts ro;
  ro.chg = true;
  ro.access = 1;
  EXPECT_EQ(ip_correct_mode(1, ro), 4);
}

}  // namespace

namespace {

// Mode keys: each mode with its security passing and failing (200460, MODE
// and phase as they were); another result is a system error.
TEST(IpMode, ModeKeysAndTheirSecurity) {
  struct Case {
    int result, mode, phase;
  } cases[] = {{27, 1, 1}, {28, 2, 6}, {29, 3, 6}, {30, 4, 6}};
  for (const Case& c : cases)
    for (bool pass : {true, false}) {
      IpModeFacts f;
      f.add_sec = f.del_sec = f.chg_sec = pass;
      IpModeSel s = ip_slct_mode(c.result, 3, 7, f);
      bool refused = !pass && c.result != 29;
      EXPECT_EQ(s.mode, refused ? 3 : c.mode) << c.result;
      EXPECT_EQ(s.phase, refused ? 7 : c.phase) << c.result;
      EXPECT_EQ(s.msg, refused ? 200460u : 0u) << c.result;
    }
  SysErrCapture cap(SysErrAnswer::Continue);
  IpModeSel s = ip_slct_mode(31, 4, 7, IpModeFacts{});
  EXPECT_EQ(cap.last(), "slct_mode() - unexpected case switch");
  EXPECT_EQ(s.mode, 4);
  EXPECT_EQ(s.phase, 7);
}

}  // namespace

namespace {

// init_mode: each mode over record-entry state, AUTO READNEXT and how the
// first record's read ends (read, held elsewhere, not there). The reads
// asked for are recorded: a mode reads only where the rules say.
TEST(IpMode, StartModeAndPhaseWithTheFirstRecord) {
  IpModeFacts all;
  all.add = all.del = all.chg = true;
  struct Case {
    int mode;
    bool entry;
    char arn;
    uint32_t read;      // what the first read answers
    int want_mode, want_phase;
    const char* reads;  // the reads asked for, "MODE/PHASE" each
  } cases[] = {
      {1, true, ' ', 0, 1, 1, ""},
      {1, false, ' ', 0, 4, 7, "4/7"},
      {1, false, ' ', 200530, 4, 3, "4/7"},
      {1, false, ' ', 200450, 1, 1, "4/7"},
      {2, true, ' ', 0, 2, 6, ""},
      {2, true, '1', 0, 2, 2, "2/2"},
      {2, true, '1', 200520, 2, 3, "2/2"},
      {2, true, '1', 200360, 2, 6, "2/2"},
      {3, true, ' ', 0, 3, 6, ""},
      {3, true, '1', 0, 3, 3, "3/3"},
      {3, false, ' ', 0, 3, 3, "3/3"},
      {3, false, ' ', 200360, 1, 1, "3/3"},
      {4, true, ' ', 0, 4, 6, ""},
      {4, true, '0', 0, 4, 6, ""},
      {4, true, '1', 0, 4, 7, "4/7"},
      {4, true, '1', 200530, 4, 3, "4/7"},
      {4, true, '1', 200360, 1, 1, "4/7"},
      {4, false, ' ', 200360, 1, 1, "4/7"},
  };
  for (const Case& c : cases) {
    std::string reads;
    auto read = [&](int m, int ph) {
      reads += std::to_string(m) + "/" + std::to_string(ph);
      return c.read;
    };
    IpModeSel s = ip_init_mode(c.mode, all, c.entry, true, c.arn, read);
    EXPECT_EQ(s.mode, c.want_mode) << c.mode << c.entry << c.arn << c.read;
    EXPECT_EQ(s.phase, c.want_phase) << c.mode << c.entry << c.arn << c.read;
    EXPECT_EQ(reads, c.reads) << c.mode << c.entry << c.arn << c.read;
  }
  // Change not possible in record-entry state without Add: key entry
  // after a failed read; Inquire out of it without Add stays in key entry.
  IpModeFacts no_add = all;
  no_add.add = false;
  auto none = [](int, int) { return uint32_t(200360); };
  IpModeSel s = ip_init_mode(4, no_add, true, true, '1', none);
  EXPECT_EQ(s.mode * 10 + s.phase, 46);
  s = ip_init_mode(3, no_add, false, true, ' ', none);
  EXPECT_EQ(s.mode * 10 + s.phase, 36);
  // Out of record-entry state a Change that finds no record goes to Add,
  // whether Add may be done or not (key entry is only for record entry).
  s = ip_init_mode(4, no_add, false, true, ' ', none);
  EXPECT_EQ(s.mode * 10 + s.phase, 11);
  // DEFAULT MODE 1 on a file opened read-only with Change permitted: Change
  // with the first record read.
  IpModeFacts ro = no_add;
  ro.access = 1;
  auto found = [](int, int) { return uint32_t(0); };
  s = ip_init_mode(1, ro, false, true, ' ', found);
  EXPECT_EQ(s.mode * 10 + s.phase, 47);
  // Without a keyed file the mode stays, in its own phase; nothing is read.
  s = ip_init_mode(2, IpModeFacts{}, false, false, ' ', [](int, int) -> uint32_t {
    ADD_FAILURE() << "read";
    return 0;
  });
  EXPECT_EQ(s.mode * 10 + s.phase, 22);
  // Any other mode starts as Inquire.
  s = ip_init_mode(5, all, true, true, ' ', found);
  EXPECT_EQ(s.mode * 10 + s.phase, 36);
}

// AUTO_RDNXT: never in Add mode or outside a record phase; '1' reads on,
// blank reads on except in Delete mode, '0' never.
TEST(IpMode, AutoReadNext) {
  EXPECT_TRUE(ip_auto_rdnxt(4, 7, ' '));
  EXPECT_TRUE(ip_auto_rdnxt(3, 3, ' '));
  EXPECT_FALSE(ip_auto_rdnxt(2, 2, ' '));
  EXPECT_TRUE(ip_auto_rdnxt(2, 2, '1'));
  EXPECT_TRUE(ip_auto_rdnxt(4, 3, '1'));
  EXPECT_FALSE(ip_auto_rdnxt(4, 7, '0'));
  EXPECT_FALSE(ip_auto_rdnxt(1, 1, '1'));
  EXPECT_FALSE(ip_auto_rdnxt(3, 6, '1'));
  EXPECT_FALSE(ip_auto_rdnxt(4, 5, '1'));
}

}  // namespace

namespace {

using fpeng::note;

// The input executor's pieces on the real compiled process IP LINES of the
// test application ip-app (IPLINE: order code and line number make the key,
// the line number is the sequence field, binary of one byte), in the whole
// engine on a memory terminal (fp_engine.h).
class IpRun : public ::testing::Test {
 protected:
  // Each case over its own copy of the application's data directory.
  void SetUp() override {
    ASSERT_EQ(fpeng::build_app("ip-app", "IPA", "IPD", "IP SETUP"), "");
    shared = fpeng::var_dir();
    own = fpeng::own_var_dir();
    ASSERT_TRUE(own);
  }
  void TearDown() override { fpeng::var_dir() = shared; }
  std::string shared;
  std::unique_ptr<TempDir> own;
  static fpeng::Result lines(void (*exec)(Pcb*)) {
    return fpeng::run({"-d", "IPD", "-a", "IPA", "-t", "Input", "-p", "IP LINES"}, exec);
  }
};

constexpr size_t kLineLen = 15;  // order 4, line 1, text 10
PdArea11* mode_rec(Pcb* p) { return pi_area_rec<PdArea11>(p, 11); }
uint8_t* line_rec(Pcb* p) { return p->pcf_stream->rec.get(); }
void set_line(Pcb* p, const char* order, uint8_t no, const char* text) {
  uint8_t* r = line_rec(p);
  std::memset(r, ' ', kLineLen);
  std::memcpy(r, order, 4);
  r[4] = no;
  std::memcpy(r + 5, text, std::strlen(text));
}
// The file's lines of the orders beginning with `prefix` in key order,
// "ORDER/NO/TEXT" each (read in Inquire).
std::string file_lines(Pcb* p, char prefix) {
  std::vector<uint8_t> keep(line_rec(p), line_rec(p) + kLineLen);
  uint8_t phase = mode_rec(p)->phase;
  mode_rec(p)->phase = 3;
  std::string out;
  for (int ok = pi_rdnxt(p, FM_OP_FIRST); ok; ok = pi_rdnxt(p, 0)) {
    const uint8_t* r = line_rec(p);
    if (r[0] != prefix) continue;
    std::string text(reinterpret_cast<const char*>(r) + 5, 10);
    text.erase(text.find_last_not_of(' ') + 1);
    out += std::string(reinterpret_cast<const char*>(r), 4) + "/" + std::to_string(r[4]) + "/" + text + " ";
  }
  mode_rec(p)->phase = phase;
  std::memcpy(line_rec(p), keep.data(), kLineLen);
  return out;
}
void log_text(const std::string& name, const std::string& text) {
  std::ofstream(fpeng::log_path(), std::ios::app) << name << " " << text << "\n";
}
std::string logged(const fpeng::Result& r, const std::string& name) {
  for (const auto& l : r.lines)
    if (l.rfind(name + " ", 0) == 0) return l.substr(name.size() + 1);
  return "";
}

// find_nxt_sno over a grouped key: each order's lines go on from that
// order's highest number (the orders after it do not count), a new order
// starts at 1, and an order at the field's limit (255) gets no number, the
// field unchanged. Checked against the highest numbers kept in a map.
const std::vector<std::pair<std::string, int>> kLines = {{"A001", 1}, {"A001", 2}, {"A001", 3}, {"B002", 7},
                                                         {"B002", 254}, {"C003", 255}, {"D004", 9}};
void sno_exec(Pcb* p) {
  mode_rec(p)->phase = 1;
  for (const auto& [order, no] : kLines) {
    set_line(p, order.c_str(), uint8_t(no), "x");
    if (!pi_write(p)) note("write_failed", no);
  }
  for (const char* order : {"A001", "B002", "C003", "D004", "AAAA", "E005"}) {
    set_line(p, order, 99, "");
    int ok = find_nxt_sno(p, true);
    note(std::string("sno_") + order, ok * 1000 + line_rec(p)[4]);
  }
  ut_unwind(2);
}

TEST_F(IpRun, NextSequenceNumberByGroupAndAtTheLimit) {
  auto r = lines(sno_exec);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen.count("write_failed"), 0u);
  std::map<std::string, int> top;
  for (const auto& [order, no] : kLines) top[order] = std::max(top[order], no);
  for (const char* order : {"A001", "B002", "C003", "D004", "AAAA", "E005"}) {
    int highest = top.count(order) ? top[order] : 0;
    // 1 and the next number; at 255 none (0), the field at the highest.
    long long want = highest < 255 ? 1000 + highest + 1 : 255;
    EXPECT_EQ(r.seen[std::string("sno_") + order], want) << order;
  }
  EXPECT_EQ(r.seen["sys_errors"], 0);
}

// A packed sequence field of three digits that ends the record (IP NOTES
// over IPNOTE: order code 4 bytes, note number packed in 2): an order's
// notes go on from its highest, a new order starts at 1, and at 999 no
// number is given, the field at the highest.
void notes_exec(Pcb* p) {
  auto set_note = [&](const char* order, unsigned no) {
    std::memcpy(line_rec(p), order, 4);
    pacdec::encode(line_rec(p) + 4, 2, no, false);
  };
  mode_rec(p)->phase = 1;
  for (auto [order, no] : {std::pair{"N001", 1u}, {"N001", 2u}, {"N002", 999u}}) {
    set_note(order, no);
    if (!pi_write(p)) note("write_failed", no);
  }
  for (const char* order : {"N001", "N002", "N003"}) {
    set_note(order, 55);
    int ok = find_nxt_sno(p, true);
    pacdec::u128 m = 0;
    bool neg = false;
    bool packed = pacdec::decode(line_rec(p) + 4, 2, m, neg);
    note(std::string("sno_") + order, packed ? ok * 1000 + (long long)m : -1);
  }
  ut_unwind(2);
}

TEST_F(IpRun, PackedSequenceNumberEndingTheRecord) {
  auto r = fpeng::run({"-d", "IPD", "-a", "IPA", "-t", "Input", "-p", "IP NOTES"}, notes_exec);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen.count("write_failed"), 0u);
  EXPECT_EQ(r.seen["sno_N001"], 1003);
  EXPECT_EQ(r.seen["sno_N002"], 999);
  EXPECT_EQ(r.seen["sno_N003"], 1001);
  EXPECT_EQ(r.seen["sys_errors"], 0);
}

// The status of a hold of the PCF record taken through a second handle of
// the process (0 when it is free to take).
long long other_hold(Pcb* p) {
  FmArb* st = FM_ATTACH(p->pcf_stream.get(), nullptr, int(com.depth));
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(" IPTEST", com.depth, 0), kLineLen));
  std::memcpy(buf, line_rec(p), kLineLen);
  PROTO_FULL(st, 0, buf);
  st->op = FM_OP_HOLD;
  long long r = fm_read(st) ? 0 : (long long)st->status;
  fm_release(st);
  fm_detach(st);
  mm_free(buf);
  return r;
}

// Around a child: a new record (phase 1) is written first and the process
// goes on changing it (phase 7); after the child it is read again by its
// record id (what the area held meanwhile is replaced by the file's); a
// changed record is rewritten before the next child, an unchanged one let
// go (another handle may hold it then). A write that fails (a duplicate key) refuses the child with the
// file's message and leaves phase 1.
void invoc_exec(Pcb* p) {
  const char prefix = 'K';
  set_line(p, "K001", 1, "first");
  mode_rec(p)->phase = 1;
  note("pre_new", ip_pre_invoc(p, nullptr));
  note("phase_after_write", mode_rec(p)->phase);
  std::memcpy(line_rec(p) + 5, "scribbled ", 10);
  ip_post_invoc(p, nullptr);
  log_text("after_child", file_lines(p, prefix));
  log_text("area", std::string(reinterpret_cast<const char*>(line_rec(p)) + 5, 10));
  std::memcpy(line_rec(p) + 5, "second    ", 10);
  note("pre_changed", ip_pre_invoc(p, nullptr));
  ip_post_invoc(p, nullptr);
  log_text("after_rewrite", file_lines(p, prefix));
  // Held again (phase 7 reads hold); a second handle of the process is
  // refused it until the unchanged record is let go.
  pi_read(p, FM_OP_RID);
  note("held_before", other_hold(p));
  note("pre_unchanged", ip_pre_invoc(p, nullptr));
  note("phase_unchanged", mode_rec(p)->phase);
  note("held_after", other_hold(p));
  set_line(p, "K001", 1, "again");
  mode_rec(p)->phase = 1;
  note("pre_duplicate", ip_pre_invoc(p, nullptr));
  note("phase_duplicate", mode_rec(p)->phase);
  ut_unwind(2);
}

TEST_F(IpRun, AChildSeesTheRecordWrittenAndTheRecordIsReadAgainAfter) {
  auto r = lines(invoc_exec);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["pre_new"], 1);
  EXPECT_EQ(r.seen["phase_after_write"], 7);
  EXPECT_EQ(logged(r, "after_child"), "K001/1/first ");
  EXPECT_EQ(logged(r, "area"), "first     ");
  EXPECT_EQ(r.seen["pre_changed"], 1);
  EXPECT_EQ(logged(r, "after_rewrite"), "K001/1/second ");
  EXPECT_EQ(r.seen["held_before"], FM_ST_HELD_SELF);
  EXPECT_EQ(r.seen["pre_unchanged"], 1);
  EXPECT_EQ(r.seen["phase_unchanged"], 7);
  EXPECT_EQ(r.seen["held_after"], 0);
  EXPECT_EQ(r.seen["pre_duplicate"], 0);
  EXPECT_EQ(r.seen["phase_duplicate"], 1);
  EXPECT_EQ(r.seen["sys_errors"], 0);
}

// Automatic mode (a cascade from a caller): mode 2 deletes every record the
// stream reads, any other mode rewrites each one and keeps them all; both
// end the process with 2.
void auto_exec(Pcb* p) {
  const char prefix = 'M';
  mode_rec(p)->phase = 1;
  for (const char* order : {"M001", "M002", "M003"}) {
    set_line(p, order, 1, order);
    pi_write(p);
  }
  for (int mode : {1, 2}) {
    p->invoc.auto_mode = uint8_t(mode);
    note("code_" + std::to_string(mode), ::mark(0, [&] { ip_auto(p); }));
    p->invoc.auto_mode = 0;
    note("mode_" + std::to_string(mode), mode_rec(p)->mode * 10 + mode_rec(p)->phase);
    log_text("left_" + std::to_string(mode), file_lines(p, prefix));
  }
  ut_unwind(2);
}

TEST_F(IpRun, AutomaticModeDeletesOrRewritesEveryRecord) {
  auto r = lines(auto_exec);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["code_1"], 2);
  EXPECT_EQ(r.seen["mode_1"], 47);
  EXPECT_EQ(logged(r, "left_1"), "M001/1/M001 M002/1/M002 M003/1/M003 ");
  EXPECT_EQ(r.seen["code_2"], 2);
  EXPECT_EQ(r.seen["mode_2"], 22);
  EXPECT_EQ(logged(r, "left_2"), "");
  EXPECT_EQ(r.seen["sys_errors"], 0);
}

}  // namespace

namespace {

// SELECT KEY in key entry on a file of one access path: the path already
// current does nothing; a stream on no path (as after a dynamic key) takes
// it and the mode key's result comes back (Inquire: 29).
void select_exec(Pcb* p) {
  mode_rec(p)->mode = 3;
  mode_rec(p)->phase = 6;
  FmArb* st = p->pcf_stream.get();
  note("current", fp_opt_select_key(p));
  note("key_current", st->key_no);
  st->key_no = 255;
  note("other", fp_opt_select_key(p));
  note("key_other", st->key_no);
  ut_unwind(2);
}

TEST_F(IpRun, SelectKeyWithOnePath) {
  auto r = lines(select_exec);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["current"], 0);
  EXPECT_EQ(r.seen["key_current"], 0);
  EXPECT_EQ(r.seen["other"], kFpInquire);
  EXPECT_EQ(r.seen["key_other"], 0);
  EXPECT_EQ(r.seen["sys_errors"], 0);
}

}  // namespace
