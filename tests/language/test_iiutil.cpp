// Register loads and moves on hand-assembled code: occurrences, length
// loads, the binary store's ranges, packed and text moves, the logic moves,
// the null test and the compare-expansions with their unpacking.
#include <algorithm>
#include <random>
#include <string>

#include "language/ii2_fix.h"
#include "language/iiutil.h"
#include "process/em.h"

namespace {

class IiUtil : public ii2::TwoFields {
 protected:
  void text(uint8_t* p, const char* t) { std::memcpy(p, t, std::strlen(t)); }
  static std::string var_str(const uint8_t* p) {
    std::string s;
    for (int i = 0; i < 8; ++i) {
      s += char('0' + (p[i] >> 4));
      if (i < 7) s += char('0' + (p[i] & 15));
    }
    return s + ((p[7] & 15) == 0xD ? "-" : "+") + "/" + std::to_string(p[8]);
  }
};

TEST_F(IiUtil, OccurrencesAndLengthLoads) {
  // OCC_BIN: register 1 moves to occurrence n of 10-byte elements.
  auto occ = [&](bool packed, int32_t n, uint16_t max) {
    uint32_t ix;
    uint8_t* f = field(9, &ix);
    if (packed) {
      PdCva c{f, 8, 0};
      std::string t = std::to_string(n);
      pd_cva(t.c_str(), int(t.size()), '.', &c);
      f[8] = 0;
    } else {
      rec::view<rec::U32>(f) = uint32_t(n);
    }
    int rc = go([&] {
      (packed ? bld_occ_pd : bld_occ_bin)(&m.code, ix, 1, 10, max);
      bld_ld_len(&m.code, 1, 1);
      bld_move_char(&m.code, 1);  // marks the byte r1 reaches
    });
    return rc == 1 ? std::to_string(std::find(fa, fa + 256, fb[0]) - fa) : std::to_string(last_err());
  };
  fb[0] = 'X';
  std::memset(fa, 0, 256);
  EXPECT_EQ(occ(false, 3, 0), "20");
  EXPECT_EQ(occ(false, 0, 0), "102710");
  EXPECT_EQ(occ(false, -2, 0), "102710");
  EXPECT_EQ(occ(false, 5, 4), "102710");
  std::memset(fa, 0, 256);
  EXPECT_EQ(occ(true, 12, 0), "110");  // maximum 0: any occurrence from 1
  EXPECT_EQ(occ(true, 0, 0), "102710");
  EXPECT_EQ(occ(true, -3, 0), "102710");  // a negative occurrence is below 1 too
  // With no maximum, an occurrence past the end of the field's data area:
  // the area of field a is its 256 bytes.
  auto* table = static_cast<EmAreaEntry*>(MM_ALLOC(m.pool, sizeof(EmAreaEntry) * (kFields + 1)));
  std::memset(table, 0, sizeof(EmAreaEntry) * (kFields + 1));
  table[0].index = ia;
  table[0].size = 256;
  m.em->area_table.set(reinterpret_cast<uint8_t*>(table));
  std::memset(fa, 0, 256);
  EXPECT_EQ(occ(false, 25, 0), "240");
  std::memset(fa, 0, 256);
  EXPECT_EQ(occ(false, 26, 0), "102710");  // bytes 250-259 pass the area's end
  EXPECT_EQ(occ(false, 26, 30), "250");    // a maximum is the compiler's bound
  m.em->area_table.reset();

  // LD_LEN_BIN: 65536 or more with no maximum gives 65535; below the
  // minimum 300370, above the maximum 300360.
  auto ld = [&](int32_t v, uint16_t min, uint16_t max) {
    uint32_t ix;
    rec::view<rec::U32>(field(4, &ix)) = uint32_t(v);
    int rc = go([&] {
      bld_ld_len_bin(&m.code, 2, ix, min, max);
      bld_ld_len(&m.code, 1, 2);
      m.emit(ii2::kOpFlag, 8);
    });
    (void)rc;
    return rc == 1 ? 0u : last_err();
  };
  EXPECT_EQ(ld(70000, 0, 0), 0u);
  EXPECT_EQ(ld(-1, 0, 0), 300370u);
  EXPECT_EQ(ld(2, 3, 0), 300370u);
  EXPECT_EQ(ld(11, 0, 10), 300360u);
}

TEST_F(IiUtil, BinaryStoresAndTextToBinary) {
  auto cmprs = [&](int size, bool sg, int64_t v) {
    std::memset(fa, 0, 8);
    int rc = go([&] {
      // The integer comes from ALP_TO_BIN reading its text.
      std::string t = std::to_string(v);
      std::memcpy(fb, t.data(), t.size());
      std::memset(fb + t.size(), ' ', 20);
      bld_alp_to_bin(&m.code, uint16_t(t.size() + 2), 0, 0, sg);
      bld_cmprs_bin(&m.code, size, sg);
    });
    if (rc != 1) return std::to_string(last_err());
    int64_t x = 0;
    for (int i = 0; i < size; ++i) x |= int64_t(fa[i]) << (8 * i);
    if (sg && (x >> (8 * size - 1)) & 1) x -= int64_t(1) << (8 * size);
    return std::to_string(x);
  };
  EXPECT_EQ(cmprs(1, false, 254), "254");
  EXPECT_EQ(cmprs(1, false, 255), "300540");
  EXPECT_EQ(cmprs(2, false, 65535), "300540");
  EXPECT_EQ(cmprs(4, false, 4294967294LL), "4294967294");
  EXPECT_EQ(cmprs(4, false, 4294967295LL), "300540");
  EXPECT_EQ(cmprs(1, true, -128), "-128");
  EXPECT_EQ(cmprs(1, true, 128), "300540");
  EXPECT_EQ(cmprs(4, true, -2147483648LL), "-2147483648");
  // Read in 64 bits: past 32 bits is 300540, not a wrapped value.
  EXPECT_EQ(cmprs(4, true, 4294967297LL), "300540");
  EXPECT_EQ(cmprs(4, false, -5), "100550");

  auto a2b = [&](const char* t, uint8_t digits, uint8_t scale) {
    std::memset(fb, ' ', 40);
    text(fb, t);
    int rc = go([&] { bld_alp_to_bin(&m.code, 20, digits, scale, true); });
    return rc == 1 ? std::to_string(int32_t(rec::view<rec::U32>(m.pcb ? fa : fa).get())) : std::to_string(last_err());
  };
  // The work value is not visible: store it through CMPRS_BIN.
  auto a2b4 = [&](const char* t, uint8_t digits, uint8_t scale) {
    std::memset(fb, ' ', 40);
    text(fb, t);
    int rc = go([&] {
      bld_alp_to_bin(&m.code, 20, digits, scale, true);
      bld_cmprs_bin(&m.code, 4, true);
    });
    return rc == 1 ? std::to_string(int32_t(rec::view<rec::U32>(fa).get())) : std::to_string(last_err());
  };
  (void)a2b;
  EXPECT_EQ(a2b4("  12.345", 0, 2), "1235");  // the third decimal rounds
  EXPECT_EQ(a2b4("12.344", 0, 2), "1234");
  EXPECT_EQ(a2b4("7", 0, 3), "7000");         // missing decimals made up
  EXPECT_EQ(a2b4("12-", 0, 0), "-12");        // '-' anywhere
  EXPECT_EQ(a2b4("12x5", 0, 0), "12");        // another character ends it
  EXPECT_EQ(a2b4("12345", 3, 0), "300540");   // more integer digits than the target
  EXPECT_EQ(a2b4("00123", 3, 0), "123");
}

// Packed moves of up to 8 bytes at each end decide in 64 bits: they must
// leave what the 16-byte path's steps give (pd_set, pd_shft, pd_set), at
// the digits of the target and one past, every shift from -33 to +33 and
// far past, negative zeros, and bytes that are no value.
TEST_F(IiUtil, PackedMovesOfEightBytesLeaveWhatTheWidePathLeaves) {
  std::mt19937_64 rng(ii2::seed());
  auto u = [&](uint64_t n) { return rng() % n; };
  auto value = [&] {  // a magnitude near a power of ten as often as not
    uint64_t p = 1;
    for (uint64_t k = u(16); k > 0; --k) p *= 10;
    uint64_t v = u(2) ? p - 1 + u(3) : u(p + 1);
    return v > 999999999999999ULL ? 999999999999999ULL : v;
  };
  auto damage = [&](uint8_t* p, int len) {
    switch (u(10)) {
      case 0: p[len - 1] = uint8_t((p[len - 1] & 0xF0) | com.pd_neg); break;  // made negative, or -0
      case 1: p[len - 1] = uint8_t((p[len - 1] & 0xF0) | 0xB); break;
      case 2: p[u(uint64_t(len))] |= 0xE0; break;
      default: break;
    }
  };
  for (long n = ii2::cases(4000), k = 0; k < n; ++k) {
    // MOVE_FIX_VAR: a variable value into a fixed field of 1-9 bytes.
    {
      uint64_t mv = value();
      ASSERT_EQ(pd_cvp64(fb, 8, u(2) ? -int64_t(mv) : int64_t(mv)), 1);
      damage(fb, 8);
      int from = u(6) == 0 ? int(u(67)) - 33 : int(u(4));
      int len = 1 + int(u(9));
      uint16_t scale = u(20) == 0 ? uint16_t(40 + u(2000)) : uint16_t(u(20));
      if (u(4) == 0) {  // a shift of 15 places, one less or one more, either way
        static const int kShift[] = {-16, -15, -14, 14, 15, 16};
        scale = uint16_t(u(16));
        from = int(scale) - kShift[u(6)];
      }
      fb[8] = uint8_t(int8_t(from));
      uint8_t v[16], want[16];
      std::memset(want, 0x77, sizeof want);
      bool ok = from >= -31 && from <= 31 && pd_set(v, 16, fb, 8) && pd_shft(v, 16, int(scale) - from) &&
                pd_set(want, len, v, 16);
      std::memset(fa, 0x77, 16);
      ASSERT_EQ(go([&] { bld_move_fix_var(&m.code, uint16_t(len), scale); }), ok ? 1 : 300540)
          << mv << " from " << from << " to " << scale << " in " << len;
      ASSERT_EQ(std::memcmp(fa, want, 16), 0) << mv << " from " << from << " to " << scale << " in " << len;
    }
    // MOVE_VAR_FIX: a fixed field of 1-8 bytes into a variable value.
    {
      int len = 1 + int(u(8));
      uint64_t mv = value();
      uint64_t lim = 1;
      for (int i = 0; i < 2 * len - 1; ++i) lim *= 10;
      ASSERT_EQ(pd_cvp64(fb, len, (u(2) ? -1 : 1) * int64_t(mv % lim)), 1);
      damage(fb, len);
      uint8_t scale = u(8) == 0 ? uint8_t(120 + u(16)) : uint8_t(u(16));
      uint8_t v[16], want[16];
      std::memset(want, 0x77, sizeof want);
      bool ok = pd_set(v, 16, fb, len) && scale <= 127 && pd_set(want, 8, v, 16);
      if (ok) want[8] = scale;
      std::memset(fa, 0x77, 16);
      ASSERT_EQ(go([&] { bld_move_var_fix(&m.code, scale, uint8_t(len)); }), ok ? 1 : 300540) << mv << " " << len;
      ASSERT_EQ(std::memcmp(fa, want, 16), 0) << mv << " in " << len << " at " << int(scale);
    }
  }
}

TEST_F(IiUtil, PackedAndLogicMoves) {
  // MOVE_VAR_CHAR: 10 integer and 7 fraction digits keep 15; 17 integer
  // digits is 300540.
  std::memset(fb, ' ', 40);
  text(fb, "1234567890.1234567");
  ASSERT_EQ(go([&] { bld_move_var_char(&m.code, 20); }), 1);
  EXPECT_EQ(var_str(fa), "123456789012345+/5");
  std::memset(fb, ' ', 40);
  text(fb, "12345678901234567");
  EXPECT_EQ(go([&] { bld_move_var_char(&m.code, 20); }), 300540);
  // MOVE_VAR_FIX and MOVE_FIX_VAR: 12.345 (fixed, 3 bytes of 5 digits at
  // scale 3) to variable and back at scale 2 (rounded).
  uint8_t fix[3] = {0x12, 0x34, 0x5C};
  std::memcpy(fb, fix, 3);
  ASSERT_EQ(go([&] { bld_move_var_fix(&m.code, 3, 3); }), 1);
  EXPECT_EQ(var_str(fa), "000000000012345+/3");
  std::memcpy(fb, fa, 9);
  EXPECT_EQ(go([&] { bld_move_fix_var(&m.code, 2, 2); }), 300540);  // 12.35 needs 4 digits
  ASSERT_EQ(go([&] { bld_move_fix_var(&m.code, 3, 2); }), 1);
  EXPECT_EQ(fa[0], 0x01);
  EXPECT_EQ(fa[1], 0x23);
  EXPECT_EQ(fa[2], 0x5C);
  // MOVE_PD_SHFT: 5 shifted by 2 into 2 bytes is 500? 3 digits: fits.
  uint8_t five[1] = {0x5C};
  std::memcpy(fb, five, 1);
  ASSERT_EQ(go([&] { bld_move_pd_shft(&m.code, 1, 2, 2); }), 1);
  EXPECT_EQ(fa[0], 0x50);
  EXPECT_EQ(fa[1], 0x0C);
  EXPECT_EQ(go([&] { bld_move_pd_shft(&m.code, 1, 1, 2); }), 300540);
  // Logic: MOVE_BIN_LOG through CMPRS_BIN, MOVE_FIX_LOG, MOVE_VAR_LOG.
  fb[0] = '1';
  ASSERT_EQ(go([&] {
              bld_move_bin_log(&m.code, 3, 2);
              bld_cmprs_bin(&m.code, 2, true);
            }),
            1);
  EXPECT_EQ(rec::view<rec::U16>(fa).get(), 100);
  ASSERT_EQ(go([&] { bld_move_fix_log(&m.code, 2, 1, 1); }), 1);
  EXPECT_EQ(fa[0], 0x01);
  EXPECT_EQ(fa[1], 0x0C);  // 1.0
  ASSERT_EQ(go([&] { bld_op(&m.code, 138); }), 1);
  EXPECT_EQ(var_str(fa), "000000000000001+/0");
  fb[0] = '0';
  ASSERT_EQ(go([&] { bld_op(&m.code, 138); }), 1);
  EXPECT_EQ(var_str(fa), "000000000000000+/0");
  // ALP_TO_LOG and BIN_TO_LOG.
  for (auto [in, out] : {std::pair<char, char>{' ', ' '}, {'0', '0'}, {'N', '0'}, {'Y', '1'}, {'x', '1'}}) {
    fb[0] = uint8_t(in);
    ASSERT_EQ(go([&] { bld_op(&m.code, 180); }), 1);
    EXPECT_EQ(char(fa[0]), out) << in;
  }
  rec::view<rec::U32>(fb) = 0x100;
  ASSERT_EQ(go([&] { bld_bin_to_log(&m.code, 1); }), 1);
  EXPECT_EQ(fa[0], '0');
  ASSERT_EQ(go([&] { bld_bin_to_log(&m.code, 2); }), 1);
  EXPECT_EQ(fa[0], '1');
}

TEST_F(IiUtil, NullTestMasksAndCompareExpansions) {
  // SET_IF_NULL: a source equal to the null image takes the null value and
  // skips the rest of the statement.
  uint32_t in_, iv;
  uint8_t* img = field(4, &in_);
  uint8_t* val = field(4, &iv);
  std::memcpy(img, "    ", 4);
  std::memcpy(val, "NULL", 4);
  auto setnull = [&](const char* src) {
    std::memcpy(fb, src, 4);
    std::memset(fa, '-', 4);
    ii2::flags().clear();
    return go([&] {
      uint8_t* p = ib_put(&m.code, 176);
      auto& x = rec::view<IbSetIfNull>(p);
      x.val_len = 4;
      x.cmp_len = 4;
      x.val_kind = 1;  // record field references: the test's cache gives them
      x.null_kind = 1;
      p[8] = 0;
      // Plain constant references of the common block would need the CNST
      // file; field references go through pl_cache_rloc, which the test
      // answers with the two fields.
      rec::view<rec::U32>(p + 8) = iv;
      rec::view<rec::U32>(p + 16) = in_;
      flag(1);
      x.past = here();
    });
  };
  proc_svc.pl_cache_rloc = [](EmHeader* em, void* operand, int) {
    uint32_t ix = rec::view<rec::U32>(operand);
    Ref<uint8_t>* arr = em->area_addr.get();
    rec::view<Ref<uint8_t>>(operand) = arr[ix];
    return 1;
  };
  ASSERT_EQ(setnull("    "), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 4), "NULL");
  EXPECT_TRUE(ii2::flags().empty());
  ASSERT_EQ(setnull("ABCD"), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 4), "----");
  EXPECT_EQ(ii2::flags(), std::vector<uint32_t>{1});

  // NUM_TO_ALP then FMT_ALP: -1234.5 (variable) under "ZZ,ZZ9.99-" into a
  // 12-byte alpha, right-justified.
  uint8_t v[9] = {0, 0, 0, 0, 0, 0x12, 0x34, 0x5D, 1};
  std::memcpy(fb, v, 9);
  std::memset(fa, '.', 12);
  const char* mask = "ZZ,ZZ9.99-";
  ASSERT_EQ(go([&] {
              bld_num_to_alp(&m.code, 12, 0, 0, 9, mask, uint16_t(std::strlen(mask)));
              bld_fmt_alp(&m.code, 12, 1, 0, 2, "", 0);
            }),
            1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(fa), 12), "   1,234.50-");

  // COMP_XPND_VAR_FIX then UNXPND: 1.5 (variable) against 2.25 (fixed,
  // scale 2) both at scale 2; the first work value back into 2 bytes.
  uint8_t v15[9] = {0, 0, 0, 0, 0, 0, 0, 0x1C, 0};
  v15[7] = 0x5C;
  v15[6] = 0x01;
  v15[8] = 1;
  std::memcpy(fa, v15, 9);
  uint8_t f225[2] = {0x22, 0x5C};
  std::memcpy(fb, f225, 2);
  uint32_t it;
  uint8_t* target = field(4, &it);
  ASSERT_EQ(go([&] {
              bld_comp_xpnd_var_fix(&m.code, 9, 2, 2);
              bld_if2(&m.code, 510, 10, 8, 2, 5, true);  // IF_PD: 1.50 < 2.25
              bld_ira(&m.code, it, 1);
              bld_unxpnd(&m.code, 2);
            }),
            1);
  EXPECT_EQ(target[0], 0x15);
  EXPECT_EQ(target[1], 0x0C);
  // A value that does not fit the target is 300540 (not a cut value).
  EXPECT_EQ(go([&] {
              bld_comp_xpnd_var_fix(&m.code, 9, 2, 2);
              bld_ira(&m.code, it, 1);
              bld_unxpnd(&m.code, 1);
            }),
            300540);
  // Into 16 bytes, the work value's whole length; one byte more is 300540.
  uint32_t iw;
  uint8_t* wide = field(17, &iw);
  for (uint16_t len : {16, 17}) {
    std::memset(wide, 0x77, 17);
    EXPECT_EQ(go([&] {
                bld_comp_xpnd_var_fix(&m.code, 9, 2, 2);
                bld_ira(&m.code, iw, 1);
                bld_unxpnd(&m.code, len);
              }),
              len == 16 ? 1 : 300540);
    uint8_t want[17] = {};
    std::memset(want, 0x77, 17);
    if (len == 16) std::memset(want, 0, 14), want[14] = 0x15, want[15] = 0x0C;
    EXPECT_EQ(std::memcmp(wide, want, 17), 0) << len;
  }
  // An expansion whose shift overflows is 300540.
  uint8_t big[9] = {0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9C, 0};
  std::memcpy(fa, big, 9);
  std::memcpy(fb, big, 9);
  fb[8] = 20;
  EXPECT_EQ(go([&] { bld_comp_xpnd_var_var(&m.code, 9, 9); }), 300540);
}

// A field index whose area the process has not built ends the event point
// with a system error instead of reading through a null address.
TEST_F(IiUtil, MissingDataAreaIsASystemError) {
  SysErrCapture cap(SysErrAnswer::Continue);
  uint32_t ix;
  field(4, &ix);
  areas[ix].reset();
  restart();
  bld_ira(&m.code, ix, 1);
  bld_move_char(&m.code, 4);
  flag(1);
  end();
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_TRUE(ii2::flags().empty());
  EXPECT_NE(cap.last().find("inst_ira() - no data area"), std::string::npos);
  // The same field loaded second, after a field that has its area: run
  // after run (the two loads then run in one).
  uint32_t iy;
  field(4, &iy);
  restart();
  bld_ira(&m.code, iy, 1);
  bld_ira(&m.code, ix, 2);
  bld_move_char(&m.code, 4);
  flag(1);
  end();
  for (int i = 0; i < 3; ++i) {
    os_sys_err_log_clear();
    EXPECT_EQ(run(ii2::cref(1, 0)), 1);
    EXPECT_TRUE(ii2::flags().empty());
    EXPECT_NE(cap.last().find("inst_ira() - no data area"), std::string::npos) << i;
  }
  restart();
  bld_end_loop(&m.code, true, ix);
  end();
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_NE(cap.last().find("inst_end_loop_bin() - no data area"), std::string::npos);
}

// The value cache against the nibbles written out: two places in one slot,
// each stored through the cache, written by hand (a digit or sign nibble
// changed, whole other bytes, a scale byte of 31, 32 and 255, the other
// place's 9 bytes copied) or read under sign nibbles swapped, in random
// order; every read gives what the bytes hold now, and every store writes
// the packed form.
TEST_F(IiUtil, ValueCacheReadsWhatTheBytesHoldNow) {
  uint32_t ix;
  uint8_t* base = field(1024 + 9, &ix);
  uint8_t* place[2] = {base, base + 1024};  // one slot
  ASSERT_EQ(&ii_vc_slot(uint32_t(place[0] - ii_arena)), &ii_vc_slot(uint32_t(place[1] - ii_arena)));
  const uint8_t pos = com.pd_pos, neg = com.pd_neg;
  // The oracle: valid when every digit nibble is 0-9, the sign one of the
  // pair and the scale at most 31.
  auto oracle = [&](const uint8_t* p, __int128& v) {
    __int128 m = 0;
    for (int i = 0; i < 15; ++i) {
      int d = (p[i / 2] >> (i % 2 ? 0 : 4)) & 15;
      if (d > 9) return false;
      m = m * 10 + d;
    }
    int sg = p[7] & 15;
    if ((sg != com.pd_pos && sg != com.pd_neg) || p[8] > 31) return false;
    v = sg == com.pd_neg ? -m : m;
    return true;
  };
  std::mt19937_64 rng(ii2::seed() + 7);
  auto u = [&](uint64_t n) { return rng() % n; };
  const int64_t kMax = 999999999999999;
  long hits = 0, n = ii2::cases(20000);
  uint64_t misses = ii_vc_counts().misses;
  for (long c = 0; c < n; ++c) {
    uint8_t* p = place[u(2)];
    switch (u(7)) {
      case 0: {  // a store: 15 digits, zero, both signs, scales 0-31
        int64_t v = u(4) == 0 ? kMax : u(8) == 0 ? 0 : int64_t(u(uint64_t(kMax) + 1));
        if (u(2)) v = -v;
        int sc = u(3) == 0 ? 31 : int(u(32));
        ii_vc_store(p, v, sc, ii_vc_pair());
        __int128 got;
        ASSERT_TRUE(oracle(p, got));
        ASSERT_TRUE(got == v) << c;
        ASSERT_EQ(p[8], sc);
        if (v == 0) {
          ASSERT_EQ(p[7] & 15, com.pd_pos);
        }
        break;
      }
      case 1: p[u(8)] ^= uint8_t(1 + u(255)); break;  // any bits of the digits and sign
      case 2: {  // one digit nibble above 9, or the sign nibble the other one
        int i = int(u(16));
        uint8_t nib = i == 15 ? uint8_t((p[7] & 15) == com.pd_pos ? com.pd_neg : com.pd_pos) : uint8_t(10 + u(6));
        p[i / 2] = i % 2 ? uint8_t((p[i / 2] & 0xF0) | nib) : uint8_t((p[i / 2] & 0x0F) | nib << 4);
        break;
      }
      case 3: {
        static const uint8_t kScales[] = {0, 31, 32, 255};
        p[8] = kScales[u(4)];
        break;
      }
      case 4: std::swap(com.pd_pos, com.pd_neg); break;
      case 5: std::memcpy(p, place[p == place[0]], 9); break;
      default: break;
    }
    int64_t v = 0;
    int sc = -1;
    __int128 want;
    uint64_t before = ii_vc_counts().misses;
    bool ok = ii_vc_read(p, ii_vc_pair(), v, sc);
    hits += ii_vc_counts().misses == before;
    ASSERT_EQ(ok, oracle(p, want)) << c;
    if (ok) {
      ASSERT_TRUE(v == want) << c;
      ASSERT_EQ(sc, p[8]) << c;
    }
  }
  com.pd_pos = pos;
  com.pd_neg = neg;
  EXPECT_GT(hits, n / 10);  // the cache served reads
  EXPECT_GT(ii_vc_counts().misses - misses, uint64_t(n / 4));
}

}  // namespace

// The short moves and fills in line, at each size where their way changes
// and one past it, overlapping either way: what memmove and memset leave,
// and nothing outside the bytes.
TEST(IiShortMoves, LeaveWhatMemmoveAndMemsetLeave) {
  for (size_t n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 40}) {
    for (int shift : {-9, -3, -1, 0, 1, 3, 9, 64}) {
      uint8_t got[160], want[160];
      for (int i = 0; i < 160; ++i) got[i] = want[i] = uint8_t(i * 7 + 1);
      uint8_t *src = got + 48, *dst = got + 48 + shift;
      ii_move(dst, src, n);
      std::memmove(want + 48 + shift, want + 48, n);
      EXPECT_EQ(0, std::memcmp(got, want, sizeof got)) << n << " " << shift;
    }
    uint8_t got[80], want[80];
    std::memset(got, 'x', sizeof got);
    std::memset(want, 'x', sizeof want);
    ii_fill(got + 8, ' ', n);
    std::memset(want + 8, ' ', n);
    EXPECT_EQ(0, std::memcmp(got, want, sizeof got)) << n;
  }
}

// The integer part through the value cache against pd_var_bin, at the
// int32 bounds and one past, each scale where the way changes, twice (a
// miss, then a hit) and for bytes that are no valid value.
TEST(IiVcInt, IsPdVarBin) {
  uint8_t f[9];
  auto put = [&](int64_t v, int sc) {
    uint64_t m = v < 0 ? uint64_t(-v) : uint64_t(v);
    uint64_t raw = pacdec::bcd_mem_signed(m, v < 0 ? com.pd_neg : com.pd_pos);
    std::memcpy(f, &raw, 8);
    f[8] = uint8_t(int8_t(sc));
  };
  for (int64_t base : {0LL, 1LL, 2147483647LL, 2147483648LL, 2147483649LL, 999999999999999LL})
    for (int sign : {1, -1})
      for (int sc : {0, 1, 9, 10, 15, 16, 31, 32, -1, -11}) {
        put(sign * base, sc);
        for (int i = 0; i < 2; ++i) EXPECT_EQ(ii_vc_int(f), pd_var_bin(f)) << sign * base << " " << sc;
      }
  put(0, 2);
  f[7] = uint8_t(com.pd_neg);  // a negative zero
  EXPECT_EQ(ii_vc_int(f), pd_var_bin(f));
  put(5, 0);
  f[3] = 0xA5;  // a digit nibble past 9
  EXPECT_EQ(ii_vc_int(f), 0);
  EXPECT_EQ(pd_var_bin(f), 0);
}
