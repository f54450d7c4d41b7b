// The next sequence number of Add mode (ip_sno_add): the field's value plus
// the increment, checked against 128-bit integers; at the field's limit, and
// one past it, no number is given and the field keeps its value.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "executors/ip.h"
#include "foundation/bi.h"
#include "foundation/pacdec.h"
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
