// IF, AND and OR on hand-assembled code against an oracle: every relation
// 1-8 over the operand type pairs (alpha of equal and unequal lengths and
// justified, the 36 binary size-and-sign codes with differing scales, fixed
// and variable packed in the four expansion forms, binary with packed,
// logic, IN and EX) at levels 1-5 with every state of the levels around.
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "language/ii2_fix.h"
#include "language/iifld.h"
#include "support/syserr.h"

namespace {

// The oracle's own relation rule.
bool holds(int cmp, int rel) {
  switch (rel) {
    case 1: return cmp == 0;
    case 2: return cmp >= 0;
    case 3: return cmp > 0;
    case 4: return cmp <= 0;
    case 5: return cmp < 0;
    case 6: return cmp != 0;
    default: return false;
  }
}

struct Op {
  IbTstOp t;
  std::string bytes;
  long double value = 0;  // numbers: the exact value (small integers and few decimals)
  bool bad = false;       // an invalid packed value
};

class IiTst : public ii2::Fix {
 protected:
  std::mt19937_64 rng{20261207};
  uint32_t ira_a = 0, ira_b = 0, ira_pos = 0, ira_t = 0, ira_f = 0;
  uint8_t *fa = nullptr, *fb = nullptr, *fpos = nullptr, *ft = nullptr, *ff = nullptr;
  uint64_t u(uint64_t n) { return rng() % n; }
  // A module of one IF (fa against fb) at shift 10.
  void build_if(const IbTstOp& a, const IbTstOp& b, int rel) {
    restart();
    bld_ira(&m.code, ira_a, 1);
    bld_ira(&m.code, ira_b, 2);
    uint32_t msg = 0;
    ASSERT_TRUE(bld_if_and_or(&m.code, a, b, uint8_t(rel), 38, 10, &msg)) << msg;
    end();
  }
  void SetUp() override {
    Fix::SetUp();
    fa = field(64, &ira_a);
    fb = field(64, &ira_b);
    fpos = field(4, &ira_pos);  // (IN and EX write a 4-byte position)
    ft = field(1, &ira_t);  // '1' against itself: true; against ff: false
    ff = field(1, &ira_f);
    ft[0] = '1';
    ff[0] = '0';
    watch_errors();
  }

  std::string text(int len) {
    static const char kCh[] = "AB _";
    std::string s;
    for (int i = 0; i < len; ++i) s += kCh[u(4)];
    if (u(3) == 0)
      for (int i = len / 2; i < len; ++i) s[size_t(i)] = ' ';
    return s;
  }
  // A number in a form, from a small pool so that equal values are common.
  Op number(uint8_t type, int len, int scale, bool sg) {
    static const long double kPool[] = {-12.5L, -1.5L, -1, 0, 0.5L, 1, 1.5L, 2, 10, 12.5L, 100, 255};
    Op o;
    o.t = {type, uint16_t(len), uint8_t(scale), sg, false};
    long double v = kPool[u(12)];
    long double m = v;
    for (int i = 0; i < scale; ++i) m *= 10;
    if (m != (long double)(int64_t)m || (!sg && m < 0)) m = sg ? (long double)(int64_t(u(400)) - 200) : (long double)u(200);
    int64_t mi = int64_t(m);
    if (type != 5) {
      int64_t lim = 1;
      for (int i = 0; i < 2 * (type == 12 ? 8 : len) - 1 && lim < 1000000000; ++i) lim *= 10;
      mi %= lim;
      m = (long double)mi;
    }
    if (type == 5) {
      o.bytes.resize(size_t(len));
      for (int i = 0; i < len; ++i) o.bytes[size_t(i)] = char(uint64_t(mi) >> (8 * i));
    } else {
      int dl = type == 12 ? 8 : len;
      std::string d = std::to_string(mi < 0 ? -mi : mi);
      d = std::string(size_t(2 * dl - 1) - d.size(), '0') + d;
      o.bytes.resize(size_t(type == 12 ? 9 : len));
      for (int i = 0; i < dl; ++i) {
        int hi = d[size_t(2 * i)] - '0';
        int lo = i == dl - 1 ? (mi < 0 ? 0xD : 0xC) : d[size_t(2 * i + 1)] - '0';
        o.bytes[size_t(i)] = char(hi << 4 | lo);
      }
      if (type == 12) o.bytes[8] = char(scale);
      if (u(20) == 0) {
        o.bytes[0] = char(0xAA);  // a digit nibble of 10
        o.bad = true;
      }
    }
    o.value = m;
    for (int i = 0; i < scale; ++i) o.value /= 10;
    return o;
  }
  Op binary() {
    static const int kLen[3] = {1, 2, 4};
    int len = kLen[u(3)];
    bool sg = u(2);
    int scale = int(u(4));
    // Keep the pool's values inside the field.
    for (;;) {
      Op o = number(5, len, scale, sg);
      long double m = o.value;
      for (int i = 0; i < scale; ++i) m *= 10;
      int64_t lim = sg ? (int64_t(1) << (8 * len - 1)) : (int64_t(1) << (8 * len));
      if (m < (long double)lim && m >= (sg ? -(long double)lim : 0)) return o;
    }
  }
  Op packed() {
    if (u(2)) return number(12, 9, int(u(6)), true);
    int len = 1 + int(u(8));
    return number(8, len, int(u(std::min(4, 2 * len - 1))), true);
  }
};

TEST_F(IiTst, TruthMaskMatchesTheOracle) {
  long runs = 0, errors = 0;
  for (int i = 0; i < 20000; ++i) {
    int kind = int(u(7));
    int rel = 1 + int(u(6));
    Op a, b;
    switch (kind) {
      case 0:
      case 1: {  // alpha, plain or justified
        int la = 1 + int(u(10)), lb = u(2) ? la : 1 + int(u(10));
        a.t = {1, uint16_t(la), 0, true, kind == 1 && u(2)};
        b.t = {1, uint16_t(lb), 0, true, kind == 1 && !a.t.justified};
        a.bytes = text(la);
        b.bytes = u(3) ? a.bytes.substr(0, size_t(std::min(la, lb))) + std::string(size_t(std::max(0, lb - la)), ' ')
                       : text(lb);
        b.bytes.resize(size_t(lb), ' ');
        break;
      }
      case 2: a = binary(); b = binary(); break;
      case 3: a = packed(); b = packed(); break;
      case 4:
        if (u(2)) a = binary(), b = packed();
        else a = packed(), b = binary();
        break;
      case 5:  // logic
        a.t = b.t = {11, 1, 0, true, false};
        a.bytes = std::string(1, " 01"[u(3)]);
        b.bytes = std::string(1, " 01"[u(3)]);
        break;
      default: {  // IN, EX
        rel = 7 + int(u(2));
        int la = 1 + int(u(12)), lb = 1 + int(u(4));
        a.t = {1, uint16_t(la), 0, true, false};
        b.t = {1, uint16_t(lb), 0, true, false};
        a.bytes = text(la);
        b.bytes = text(lb);
      }
    }
    int verb = std::array<int, 3>{38, 3, 52}[u(3)];
    int level = 1 + int(u(5));
    uint32_t shift = uint32_t(12 - 2 * level);
    // The mask before: levels 1..level-1 true or false, level and deeper
    // true, false or unset, set by tests of a logic field against itself.
    restart();
    bld_ira(&m.code, ira_t, 1);
    uint32_t before = 0x3FF;
    for (int l = 1; l <= 5; ++l) {
      int v = int(1 + u(l < level ? 2 : 3));
      if (v == 3) break;  // unset, and so every deeper level
      bld_ira(&m.code, v == 1 ? ira_t : ira_f, 2);
      sc_gen_if_comp(&m.code, 504, uint32_t(12 - 2 * l), 1, 1, true);
      before = ii_set_tf(before, uint32_t(v), uint32_t(12 - 2 * l));
    }
    bld_ira(&m.code, ira_a, 1);
    bld_ira(&m.code, ira_b, 2);
    bld_ira(&m.code, ira_pos, 3);
    uint32_t msg = 0;
    bool built = bld_if_and_or(&m.code, a.t, b.t, uint8_t(rel), verb, shift, &msg);
    ASSERT_TRUE(built) << kind << " " << rel;
    end();
    std::memcpy(fa, a.bytes.data(), a.bytes.size());
    std::memcpy(fb, b.bytes.data(), b.bytes.size());
    fpos[0] = 0x77;  // (kept when the text is not found)
    fpos[1] = 0;
    m.pcb->dbg->err_msg = 0;
    uint32_t mask = 0;
    int rc = run(ii2::cref(1, 0), &mask);
    ++runs;

    // The oracle.
    uint32_t cur = (before >> (shift - 2)) & 3;
    bool evaluate = verb == 38 || (verb == 3 && cur == 1) || (verb == 52 && cur != 1);
    uint32_t want_err = 0;
    if (verb == 3 && cur == 3) want_err = 300390;
    bool result = false;
    if (evaluate && !want_err) {
      if (kind <= 1) {
        size_t n = std::max(a.bytes.size(), b.bytes.size());
        std::string x = a.bytes, y = b.bytes;
        if (a.t.justified || b.t.justified) {
          x = std::string(n - x.size(), ' ') + x;
          y = std::string(n - y.size(), ' ') + y;
        } else {
          x.resize(n, ' ');
          y.resize(n, ' ');
        }
        int c = x.compare(y);
        result = holds(c < 0 ? -1 : c > 0, rel);
      } else if (kind == 5) {
        result = holds(a.bytes[0] < b.bytes[0] ? -1 : a.bytes[0] > b.bytes[0], rel);
      } else if (kind == 6) {
        std::string what = b.bytes;
        while (!what.empty() && what.back() == ' ') what.pop_back();
        auto norm = [](std::string s) {
          for (char& c : s)
            if (c == '_') c = ' ';
          return s;
        };
        size_t at = what.empty() ? std::string::npos : norm(a.bytes).find(norm(what));
        bool found = at != std::string::npos;
        result = rel == 7 ? found : !found;
        EXPECT_EQ(fpos[0] | fpos[1] << 8, found ? int(at + 1) : 0x77);
      } else if (a.bad || b.bad) {
        want_err = 300540;
      } else {
        result = holds(a.value < b.value ? -1 : a.value > b.value, rel);
      }
    }
    if (want_err) {
      ++errors;
      EXPECT_EQ(rc, 300540);
      EXPECT_EQ(last_err(), want_err) << "kind " << kind << " verb " << verb;
      continue;
    }
    ASSERT_EQ(rc, 1);
    uint32_t want = evaluate ? ii_set_tf(before, result ? 1 : 2, shift) : before;
    // The oracle's own setting: levels above kept, the level, deeper unset.
    if (evaluate) {
      uint32_t keep = before & ~((1u << shift) - 1) & 0x3FF;
      EXPECT_EQ(want, keep | (result ? 1u : 2u) << (shift - 2) | ((1u << (shift - 2)) - 1));
    }
    ASSERT_EQ(mask, want) << "case " << i << " kind " << kind << " rel " << rel << " verb " << verb << " level "
                          << level << " before " << std::hex << before;
  }
  std::printf("tests: %ld run, %ld run-time errors (300390, 300540)\n", runs, errors);
}

// Alpha operands of unequal lengths: the rest of the longer one against
// blanks, read eight bytes at a time. One byte that is not a blank, below or
// above it, at each place of rests around the word bounds (and none).
TEST_F(IiTst, TheRestOfTheLongerTextAgainstBlanks) {
  for (int diff : {1, 7, 8, 9, 15, 16, 17, 61})
    for (int at = -1; at < diff; ++at)
      for (char ch : {'\x1F', '!', 'z'})
        for (bool a_longer : {true, false})
          for (int rel : {1, 3, 5}) {
            int shorter = 3, longer = shorter + diff;
            std::string l = "ABC" + std::string(size_t(diff), ' '), r = "ABC";
            if (at >= 0) l[size_t(shorter + at)] = ch;
            const std::string &x = a_longer ? l : r, &y = a_longer ? r : l;
            build_if({1, uint16_t(a_longer ? longer : shorter), 0, true, false},
                     {1, uint16_t(a_longer ? shorter : longer), 0, true, false}, rel);
            std::memcpy(fa, x.data(), x.size());
            std::memcpy(fb, y.data(), y.size());
            uint32_t mask = 0;
            ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1);
            std::string px = x, py = y;
            px.resize(size_t(longer), ' ');
            py.resize(size_t(longer), ' ');
            int c = px.compare(py);
            ASSERT_EQ(mask, ii_set_tf(0x3FF, holds(c < 0 ? -1 : c > 0, rel) ? 1 : 2, 10))
                << diff << " " << at << " " << int(ch) << " " << a_longer << " " << rel;
          }
}

TEST_F(IiTst, ShiftZeroAndBranches) {
  // A test at shift 0 (a T/F column without a blank) changes nothing.
  bld_ira(&m.code, ira_t, 1);
  bld_ira(&m.code, ira_f, 2);
  uint32_t msg;
  ASSERT_TRUE(bld_if_and_or(&m.code, {11, 1, 0, true, false}, {11, 1, 0, true, false}, 1, 38, 10, &msg));
  ASSERT_TRUE(bld_if_and_or(&m.code, {11, 1, 0, true, false}, {11, 1, 0, true, false}, 6, 3, 0, &msg));
  ASSERT_TRUE(bld_if_and_or(&m.code, {11, 1, 0, true, false}, {11, 1, 0, true, false}, 6, 52, 0, &msg));
  // TFC: runs the FLAG only when level 1 is false.
  CodeRef over;
  uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), 0x2FF, &over);
  flag(7);
  CodeRef after = here();
  rec::view<IbTfc>(tfc).to = after;
  end();
  uint32_t mask = 0;
  ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1);
  EXPECT_EQ(mask, 0x2FFu);
  EXPECT_EQ(ii2::flags(), std::vector<uint32_t>{7});
  // Binary 5 at scale 0 equals binary 50 at scale 1; -1 signed is below
  // 255 unsigned of one byte.
  restart();
  bld_ira(&m.code, ira_a, 1);
  bld_ira(&m.code, ira_b, 2);
  bld_if_bin(&m.code, 10, 1, {5, 4, 0, true, false}, {5, 2, 1, false, false}, true);
  end();
  rec::view<rec::U32>(fa) = 5;
  rec::view<rec::U16>(fb) = 50;
  ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1);
  EXPECT_EQ(mask, 0x1FFu);
  restart();
  bld_ira(&m.code, ira_a, 1);
  bld_ira(&m.code, ira_b, 2);
  bld_if_bin(&m.code, 10, 5, {5, 4, 0, true, false}, {5, 1, 0, false, false}, true);
  end();
  rec::view<rec::U32>(fa) = 0xFFFFFFFFu;
  fb[0] = 255;
  ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1);
  EXPECT_EQ(mask, 0x1FFu);
}

// A snapshot of what an IF leaves for the instructions after it (opcode
// 98, 8 bytes): the mask, registers 1-2 (a work value by its number, else
// an arena offset), the lengths, both work values and the instructions
// started.
std::vector<std::string>& snaps() {
  static std::vector<std::string> v;
  return v;
}
uint8_t* h_snap(IlfExecBlock*, IlfState* s, uint8_t* pc) {
  std::string t = std::to_string(s->mask);
  for (int r = 0; r < 2; ++r) {
    uint8_t* a = s->addr[r];
    t += a == s->work[0] ? " w0" : a == s->work[1] ? " w1" : " " + std::to_string(a - ii_arena);
  }
  for (int r = 0; r < 4; ++r) t += " " + std::to_string(s->len[r]);
  t += " n" + std::to_string(s->count + uint32_t(s->armed - s->tick)) + " ";
  t.append(reinterpret_cast<const char*>(s->work[0]), 64);
  snaps().push_back(t);
  return ii_adv(pc, 8);
}

// IF, AND and OR of packed fields and constants, run by the instructions
// alone (the trace on) and then twice as the engine runs them (the compiled
// compare from its first relocated run): the same completion, error, mask,
// branches taken, registers, work values and instruction count. Values of
// up to 15 digits and both signs (a negative zero too), 15 digits shifted
// one past, fixed values of 1-8 bytes and one past (9), scales apart (to
// 31, and a negative scale byte, one past 31, in either operand), bad digit
// and sign nibbles (in either operand); under the plan a value, a scale, the
// constant's bytes or scale, or the sign nibbles changed; text dates; AND and OR on every state
// of their level; the statement last in the event point, followed by
// another instruction, or by a (T) and (F) chain.
TEST_F(IiTst, CompiledComparesLeaveWhatTheInstructionsLeave) {
  cv_date_init();
  ii_set_pair(98, h_snap);
  uint32_t ira_c = 0;
  uint8_t* cn = field(9, &ira_c);
  FILE* trace = std::fopen("/dev/null", "w");
  ASSERT_TRUE(trace);
  const int64_t kMags[] = {0, 1, 7, 10, 99999, 100000000000000, 123456789012345, 999999999999999};
  auto put = [&](uint8_t* f, int len, int64_t v) {
    uint64_t m = uint64_t(v < 0 ? -v : v);
    std::memset(f, 0, size_t(len));
    f[len - 1] = v < 0 ? 0xD : 0xC;
    for (int i = 1; i < 2 * len; ++i, m /= 10) f[len - 1 - i / 2] |= uint8_t((m % 10) << (4 * (i % 2)));
  };
  uint64_t runs0 = ii_cmp_plan_runs(), builds0 = ii_cmp_plan_builds();
  long cases = 0, errors = 0;
  uint64_t stmts = 0;
  for (int i = 0; i < 4000; ++i) {
    // The operands: a variable (9 bytes) or fixed packed field, and a
    // constant (a variable or fixed value) or another field.
    bool va = u(3) != 0, vb = u(3) != 0, cnst = u(2) != 0;
    int la = va ? 8 : 1 + int(u(9)), lb = vb ? 8 : 1 + int(u(9));
    auto scale = [&](bool var) { return int(u(4) ? u(3) * (u(2) ? 1 : 2) : var ? u(33) : u(6)); };
    int sa = scale(va), sb = u(3) ? sa : scale(vb);
    auto value = [&](int len) {
      int64_t m = kMags[u(8)] % int64_t(std::pow(10.0, 2 * len - 1));
      if (u(4) == 0) m = int64_t(u(uint64_t(std::pow(10.0, std::min(2 * len - 1, 15)))));
      return u(2) ? -m : m;
    };
    int64_t xa = value(la), xb = u(4) ? value(lb) : xa;
    std::memset(fa, 0, 16);
    std::memset(fb, 0, 16);
    put(fa, la, xa);
    uint8_t* bp = cnst ? cn : fb;
    put(bp, lb, xb);
    if (xa == 0 && u(3) == 0) fa[la - 1] |= 1;  // a negative zero (D)
    if (xb == 0 && u(3) == 0) bp[lb - 1] |= 1;
    if (va) fa[la] = uint8_t(sa);
    if (vb) bp[lb] = uint8_t(sb);
    switch (u(24)) {
      case 0: fa[0] |= 0xA0; break;                                  // a digit of 10
      case 1: bp[lb - 1] = uint8_t((bp[lb - 1] & 0xF0) | 0x5); break;  // a sign nibble of 5
      case 2: if (va) fa[la] = uint8_t(u(2) ? 0xFE : 32); break;       // scale -2 or 32
      case 3: if (vb) bp[lb] = uint8_t(u(2) ? 0xFE : 32); break;
      case 4: fa[la - 1] = uint8_t((fa[la - 1] & 0xF0) | 0x5); break;  // in the first operand
      default: break;
    }
    // One case in four compares text dates (CCYYMMDD) instead: near the
    // month's end, blank, or no date.
    bool date = u(4) == 0;
    if (date) {
      auto make = [&](char* t) {
        std::snprintf(t, 9, "%04d%02d%02d", int(1999 + u(3)), int(1 + u(12)), int(28 + u(4)));
        if (u(8) == 0) t[u(8)] = u(2) ? ' ' : 'x';
        if (u(8) == 0) std::memset(t, ' ', 8);
      };
      char t[9];
      make(t);
      std::memcpy(fa, t, 8);
      if (u(3)) make(t);
      std::memcpy(bp, t, 8);
    }
    // One case in five of the others compares texts of 1-16 bytes: the same
    // letters, or one apart, a longer one's rest blank or not (a letter, a
    // character below the blank).
    bool text = !date && u(5) == 0;
    int ta_len = 1 + int(u(16)), tb_len = u(3) ? ta_len : 1 + int(u(16));
    if (text) {  // (two fields of 16 bytes: the constant's area holds 9)
      cnst = false;
      bp = fb;
      std::memset(fa, ' ', 16);
      for (int k = 0; k < ta_len; ++k) fa[k] = uint8_t(u(3) ? 'A' + u(3) : ' ');
      std::memcpy(bp, fa, 16);
      if (u(3) == 0) bp[u(uint64_t(std::min(ta_len, tb_len)))] = 'B';
      uint8_t* longer = ta_len > tb_len ? fa : bp;
      if (ta_len != tb_len && u(2)) longer[std::min(ta_len, tb_len) + int(u(uint64_t(std::abs(ta_len - tb_len))))] = u(2) ? 'Z' : '\x01';
    }
    // The code: levels 1-2 set (or not) before, the test at level 2, then
    // nothing, or (T) and (F) branches that mark their way.
    restart();
    for (int l = 1; l <= 2; ++l) {
      int v = int(1 + u(3));
      if (v == 3) break;
      ++stmts;
      bld_ira(&m.code, ira_t, 1);
      bld_ira(&m.code, v == 1 ? ira_t : ira_f, 2);
      sc_gen_if_comp(&m.code, 504, uint32_t(12 - 2 * l), 1, 1, true);
    }
    ++stmts;
    bld_ira(&m.code, ira_a, 1);
    if (cnst) rec::view<rec::U32>(m.emit(55, 8) + 4) = arena::offset_of(cn);
    else bld_ira(&m.code, ira_b, 2);
    int verb = std::array<int, 3>{38, 3, 52}[u(3)];
    int rel = 1 + int(u(6));
    IbTstOp ta{uint8_t(va ? 12 : 8), uint16_t(va ? 9 : la), uint8_t(va ? 0 : sa), true, false};
    IbTstOp tb{uint8_t(vb ? 12 : 8), uint16_t(vb ? 9 : lb), uint8_t(vb ? 0 : sb), true, false};
    if (date) ta = tb = {4, 8, 0, true, false, "08070605"};
    if (date && u(4) == 0) tb = {4, 7, 0, true, false, "0807005"};  // the second a day of the year (CCYYDDD)
    if (text) ta = {1, uint16_t(ta_len), 0, true, false}, tb = {1, uint16_t(tb_len), 0, true, false};
    uint32_t msg = 0;
    ASSERT_TRUE(bld_if_and_or(&m.code, ta, tb, uint8_t(rel), verb, 8, &msg));
    int tail = int(u(6));  // 0: nothing after; 1: a snapshot; else the chain
    for (uint32_t cond : {0x37Fu, 0x3BFu}) {  // level 2 true, false
      if (tail < 2) break;
      CodeRef over;
      uint8_t* tfc = bld_tfc(&m.code, ii2::no_code(), cond, &over);
      flag(cond);
      rec::view<IbTfc>(tfc).to = here();
    }
    if (tail) m.emit(98, 8);
    end();
    struct Out {
      int rc;
      uint32_t mask, err;
      std::vector<uint32_t> flags;
      std::vector<std::string> snaps;
    };
    auto go = [&](bool instructions) {
      ii2::flags().clear();
      snaps().clear();
      m.pcb->dbg->err_msg = 0;
      if (instructions) ii_set_trace(trace);
      Out o{};
      o.rc = run(ii2::cref(1, 0), &o.mask);
      ii_set_trace(nullptr);
      o.err = last_err();
      o.flags = ii2::flags();
      o.snaps = snaps();
      return o;
    };
    Out want = go(true);
    bool swapped = false;
    for (int k = 0; k < 2; ++k) {
      if (k == 1 && u(3) == 0) {  // under the plan: another constant, scale, value or sign pair
        int what = int(u(4));
        uint8_t* p = what == 0 ? bp : fa;
        if (what == 3) swapped = true, std::swap(com.pd_pos, com.pd_neg);
        else if (what == 2 && va) fa[la] = uint8_t(u(4));
        else if (what == 0 && vb && u(2)) bp[lb] = uint8_t(bp[lb] ^ 1);
        else p[0] = uint8_t(p[0] ^ 0x10);
        want = go(true);
      }
      Out got = go(false);
      if (swapped) std::swap(com.pd_pos, com.pd_neg);
      ASSERT_EQ(got.rc, want.rc) << "case " << i;
      ASSERT_EQ(got.err, want.err) << "case " << i;
      ASSERT_EQ(got.mask, want.mask) << "case " << i;
      ASSERT_EQ(got.flags, want.flags) << "case " << i;
      ASSERT_EQ(got.snaps, want.snaps) << "case " << i;
    }
    ++cases;
    errors += want.rc != 1;
  }
  std::fclose(trace);
  std::printf("compiled compares: %ld cases, %ld errors, %llu plan runs, %llu looked at\n", cases, errors,
              (unsigned long long)(ii_cmp_plan_runs() - runs0), (unsigned long long)(ii_cmp_plan_builds() - builds0));
  EXPECT_GT(ii_cmp_plan_runs() - runs0, 1500u);
  EXPECT_LE(ii_cmp_plan_builds() - builds0, stmts);  // once a statement
}

// A statement is looked at once: one that has no compiled form (two
// binary fields) is refused once and then runs its instructions; one that
// has runs it from its second run on; neither builds again. A plan's number
// left in new code, or given again to another statement, is no plan.
TEST_F(IiTst, ACompareIsBuiltOnce) {
  for (bool bin : {true, false}) {
    IbTstOp t = bin ? IbTstOp{5, 4, 0, true, false} : IbTstOp{12, 9, 0, true, false};
    build_if(t, t, 1);
    std::memcpy(fa, bin ? "ABCDEFGH" : "\x00\x00\x00\x00\x00\x00\x01\x2C\x00", 9);
    std::memcpy(fb, fa, 9);
    uint64_t runs = ii_cmp_plan_runs(), builds = ii_cmp_plan_builds();
    for (int i = 0; i < 20; ++i) {
      uint32_t mask = 0;
      ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1);
      ASSERT_EQ(mask, 0x1FFu);
    }
    EXPECT_EQ(ii_cmp_plan_builds() - builds, 1u);
    EXPECT_EQ(ii_cmp_plan_runs() - runs, bin ? 0u : 18u);
  }
  // New code in the same place whose second load carries, as a module's
  // file may, the number of the plan built there before (an = where the
  // new code tests <>) is planned anew.
  uint8_t number = m.code.storage[11], high = m.code.storage[19];
  ASSERT_NE(number, 0);
  IbTstOp t{12, 9, 0, true, false};
  build_if(t, t, 6);
  m.code.storage[11] = number;
  m.code.storage[19] = high;
  for (int i = 0; i < 3; ++i) {
    uint32_t mask = 0;
    ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1);
    ASSERT_EQ(mask, 0x2FFu) << i;
  }
  // Two statements, X (=, level 1) and Y (<>, level 2), Y planned again
  // and again until it is given X's number: X's next run is its own
  // compare, not Y's. Then X's field loses its data area under its plan
  // (against a constant): the instructions' system error, no read.
  std::memcpy(fb, fa, 9);
  uint32_t ira_c = 0;
  uint8_t* cn = field(9, &ira_c);
  std::memcpy(cn, fa, 9);
  restart();
  uint8_t* x = m.code.storage + m.code.offset;
  bld_ira(&m.code, ira_a, 1);
  rec::view<rec::U32>(m.emit(55, 8) + 4) = arena::offset_of(cn);
  uint32_t msg = 0;
  ASSERT_TRUE(bld_if_and_or(&m.code, t, t, 1, 38, 10, &msg));
  uint8_t* y = m.code.storage + m.code.offset;
  bld_ira(&m.code, ira_a, 1);
  bld_ira(&m.code, ira_b, 2);
  ASSERT_TRUE(bld_if_and_or(&m.code, t, t, 6, 38, 8, &msg));
  end();
  auto no_of = [](const uint8_t* pc) { return pc[11] + 254u * pc[19]; };
  uint32_t want = 0, mask = 0;
  ASSERT_EQ(run(ii2::cref(1, 0), &want), 1);  // the instructions
  EXPECT_EQ(want, 0x1BFu);  // level 1 true, level 2 false
  ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  const uint32_t nx = no_of(x);
  ASSERT_NE(nx, 0u);
  for (uint32_t i = 0; i <= 254u * 256u && no_of(y) != nx; ++i) {
    y[11] = 0;
    ASSERT_EQ(run(ii2::cref(1, 0)), 1);
  }
  ASSERT_EQ(no_of(y), nx);
  uint64_t runs = ii_cmp_plan_runs();
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1);
    EXPECT_EQ(mask, want) << i;
  }
  EXPECT_EQ(ii_cmp_plan_runs() - runs, 3u);  // X planned anew
  SysErrCapture cap(SysErrAnswer::Continue);
  areas[ira_a].reset();
  EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_NE(cap.last().find("inst_ira() - no data area"), std::string::npos);
}

// A compare of a field against a constant right after the CALC statement
// that stored it (A = A + 0, the copy A = A, A = A - 2) runs with the value
// in hand: the same completion, mask, branches, registers, work values and
// count as the instructions, A below, at and above the constant, at 0 and
// below, at the constant's scale and at the one the plan shifted it to,
// with and without a TFC after the test. The same when the CALC stores
// another field, and when under the plan A's scale, the constant or the
// sign nibbles change.
TEST_F(IiTst, ACompareOfWhatACalcStoredRunsWithItsValue) {
  ii_set_pair(98, h_snap);
  FILE* trace = std::fopen("/dev/null", "w");
  ASSERT_TRUE(trace);
  uint32_t ira_c = 0, ira_o = 0, ira_k = 0;
  uint8_t* cn = field(9, &ira_c);
  (void)field(9, &ira_o);
  uint8_t* k2 = field(9, &ira_k);
  const uint64_t stored0 = ii_cmp::g_stored_runs;
  long cases = 0;
  for (int form = 0; form < 4; ++form)  // A = A + 0, A = A, A = A - 2, O = A - 2
    for (int sk : {0, 2})
      for (int up : {0, 3})
        for (int64_t dv : {-7, -2, -1, 0, 1, 2})
          for (int rel : {1, 3, 5})
            for (bool tfc : {false, true}) {
              const int sa = sk + up;
              const int64_t kv = 1200;  // the constant's digits, at scale sk
              int64_t av = dv == -7 ? -3 : kv * (up ? 1000 : 1) + dv * (form >= 2 ? 2 : 1);
              if (dv == -2 && form < 2) av = 0;
              ii2::set_pd(cn, std::to_string(kv).c_str());
              cn[8] = uint8_t(sk);
              ii2::set_pd(fa, std::to_string(av).c_str());
              fa[8] = uint8_t(sa);
              ii2::set_pd(k2, form >= 2 ? "2" : "0");
              k2[8] = uint8_t(sa);
              restart();
              bld_calc_reset(&m.code);
              bld_ira(&m.code, form == 3 ? ira_o : ira_a, 1);
              bld_calc_load(&m.code, 8);
              bld_ira(&m.code, ira_a, 1);
              bld_calc_load(&m.code, 8);
              if (form != 1) {
                rec::view<rec::U32>(m.emit(53, 8) + 4) = arena::offset_of(k2);
                bld_calc_load(&m.code, 12);
                bld_calc_eval(&m.code, form >= 2 ? '-' : '+');
              }
              bld_calc_eval(&m.code, '=');
              bld_ira(&m.code, ira_a, 1);
              rec::view<rec::U32>(m.emit(55, 8) + 4) = arena::offset_of(cn);
              IbTstOp t{12, 9, 0, true, false};
              uint32_t msg = 0;
              ASSERT_TRUE(bld_if_and_or(&m.code, t, t, uint8_t(rel), 38, 8, &msg));
              if (tfc)
                for (uint32_t cond : {0x37Fu, 0x3BFu}) {
                  CodeRef over;
                  uint8_t* p = bld_tfc(&m.code, ii2::no_code(), cond, &over);
                  flag(cond);
                  rec::view<IbTfc>(p).to = here();
                }
              m.emit(98, 8);
              end();
              uint8_t start[9];
              std::memcpy(start, fa, 9);
              struct Out {
                int rc;
                uint32_t mask;
                std::vector<uint32_t> flags;
                std::vector<std::string> snaps;
                std::string a;
                bool operator==(const Out&) const = default;
              };
              auto go = [&](bool instructions) {
                std::memcpy(fa, start, 9);
                ii2::flags().clear();
                snaps().clear();
                if (instructions) ii_set_trace(trace);
                Out o{};
                o.rc = run(ii2::cref(1, 0), &o.mask);
                ii_set_trace(nullptr);
                o.flags = ii2::flags();
                o.snaps = snaps();
                o.a.assign(reinterpret_cast<char*>(fa), 9);
                return o;
              };
              Out want = go(true);
              for (int k = 0; k < 4; ++k) {  // (built on the first, linked on the second)
                bool swapped = false;
                if (k == 3) {  // under the plan: A's scale, the constant, or the sign nibbles
                  int what = int(cases % 3);
                  if (what == 0) start[8] = uint8_t(sa + 1);
                  else if (what == 1) cn[6] ^= 0x10;
                  else swapped = true, std::swap(com.pd_pos, com.pd_neg);
                  want = go(true);
                }
                Out got = go(false);
                if (swapped) std::swap(com.pd_pos, com.pd_neg);
                ASSERT_TRUE(got == want) << "form " << form << " sk " << sk << " up " << up << " dv " << dv
                                         << " rel " << rel << " tfc " << tfc << " run " << k;
              }
              ++cases;
            }
  std::fclose(trace);
  EXPECT_GE(ii_cmp::g_stored_runs - stored0, uint64_t(cases * 3 / 4));  // (forms 0-2: their third run at least)
}

// An AND whose second field has no data area for two runs (its load
// relocated, the level check after it never reached) is planned only once
// that check has run: with the area back and the level false, it goes past
// the comparison as the instructions do, run after run.
TEST_F(IiTst, AnAndIsPlannedOnceItsLevelCheckHasRun) {
  SysErrCapture cap(SysErrAnswer::Continue);
  IbTstOp t{12, 9, 0, true, false};
  std::memcpy(fa, "\x00\x00\x00\x00\x00\x00\x01\x2C\x00", 9);
  std::memcpy(fb, fa, 9);
  restart();
  bld_ira(&m.code, ira_t, 1);
  bld_ira(&m.code, ira_f, 2);
  sc_gen_if_comp(&m.code, 504, 8, 1, 1, true);  // level 2 false
  bld_ira(&m.code, ira_a, 1);
  bld_ira(&m.code, ira_b, 2);
  uint32_t msg = 0;
  ASSERT_TRUE(bld_if_and_or(&m.code, t, t, 1, 3, 8, &msg));
  flag(1);
  end();
  Ref<uint8_t> area = areas[ira_b];
  areas[ira_b].reset();
  for (int i = 0; i < 2; ++i) EXPECT_EQ(run(ii2::cref(1, 0)), 1);
  EXPECT_NE(cap.last().find("inst_ira() - no data area"), std::string::npos);
  areas[ira_b] = area;
  uint64_t builds = ii_cmp_plan_builds();
  uint32_t want = 0;
  for (int i = 0; i < 4; ++i) {
    ii2::flags().clear();
    uint32_t mask = 0;
    ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1);
    if (i == 0) want = mask;  // the instructions'
    EXPECT_EQ(mask, want) << i;
    EXPECT_EQ(ii2::flags(), std::vector<uint32_t>{1}) << i;
  }
  EXPECT_EQ(ii_cmp_plan_builds() - builds, 2u);  // the plan built on the second, run on the others
}

// Dates: shared and disjoint units, the century pivot, null dates (below
// every date) and a date that does not convert.
TEST_F(IiTst, DatesCompareTheirCommonUnits) {
  cv_date_init();
  cv_date_set_pivot(50);
  struct Form {
    const char* mask;
    int len;
  };
  const Form forms[] = {{"08070605", 8}, {"070605", 6}, {"0605", 4}, {"08070605040302", 14}};
  auto text = [](const Form& f, int y, int mo, int d, int h) {
    char buf[32];
    if (f.len == 8) std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, mo, d);
    else if (f.len == 6) std::snprintf(buf, sizeof buf, "%02d%02d%02d", y % 100, mo, d);
    else if (f.len == 4) std::snprintf(buf, sizeof buf, "%02d%02d", mo, d);
    else std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d0000", y, mo, d, h);
    return std::string(buf);
  };
  auto key = [](int y, int mo, int d, int h, int hi_unit, int lo_unit) {
    // The units from hi_unit down to lo_unit as one number.
    long long k = 0;
    int parts[9] = {0, 0, 0, 0, h, d, mo, y % 100, y / 100};
    for (int u = hi_unit; u >= lo_unit; --u) k = k * 100 + parts[u];
    return k;
  };
  const int hi[4] = {8, 7, 6, 8}, lo[4] = {5, 5, 5, 2};
  long runs = 0;
  for (int i = 0; i < 3000; ++i) {
    int fa_i = int(u(4)), fb_i = int(u(4));
    const Form &x = forms[fa_i], &y = forms[fb_i];
    int ya = 1950 + int(u(100)), yb = u(2) ? ya : 1950 + int(u(100));
    int ma = 1 + int(u(12)), mb = u(2) ? ma : 1 + int(u(12));
    int da = 1 + int(u(28)), db = u(2) ? da : 1 + int(u(28));
    int ha = int(u(24)), hb = u(2) ? ha : int(u(24));
    bool null_a = u(10) == 0, null_b = u(10) == 0;
    int rel = 1 + int(u(6));
    build_if({4, uint16_t(x.len), 0, true, false, x.mask}, {4, uint16_t(y.len), 0, true, false, y.mask}, rel);
    std::string ta = null_a ? std::string(size_t(x.len), ' ') : text(x, ya, ma, da, ha);
    std::string tb = null_b ? std::string(size_t(y.len), ' ') : text(y, yb, mb, db, hb);
    std::memcpy(fa, ta.data(), ta.size());
    std::memcpy(fb, tb.data(), tb.size());
    uint32_t mask = 0;
    ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1) << ta << " " << tb;
    int c;
    if (null_a || null_b) {
      c = null_a == null_b ? 0 : null_a ? -1 : 1;
    } else {
      // The year-only masks take their century from the pivot (50: 1950-2049
      // as written), so both sides compare from the highest common unit.
      int h = std::min(hi[fa_i] == 7 ? 8 : hi[fa_i], hi[fb_i] == 7 ? 8 : hi[fb_i]);
      if (hi[fa_i] == 7 && hi[fb_i] != 7 && hi[fb_i] < 8) h = std::min(h, 7);
      int l = std::max(lo[fa_i], lo[fb_i]);
      if (hi[fa_i] == 7 && hi[fb_i] == 8) h = 7;  // the pivot applies only when both start at the year
      if (hi[fb_i] == 7 && hi[fa_i] == 8) h = 7;
      long long ka = key(ya, ma, da, ha, h, l), kb = key(yb, mb, db, hb, h, l);
      c = ka < kb ? -1 : ka > kb;
    }
    ASSERT_EQ((mask >> 8) & 3, holds(c, rel) ? 1u : 2u)
        << "'" << ta << "' '" << tb << "' rel " << rel;
    ++runs;
  }
  // Disjoint units: no comparison is built.
  uint32_t msg = 0;
  IbTstOp md{4, 4, 0, true, false, "0605"}, hm{4, 4, 0, true, false, "0403"};
  EXPECT_FALSE(bld_if_and_or(&m.code, md, hm, 1, 38, 10, &msg));
  EXPECT_EQ(msg, 102400u);
  // A text that is no date is 102540.
  restart();
  bld_ira(&m.code, ira_a, 1);
  bld_ira(&m.code, ira_b, 2);
  IbTstOp full{4, 8, 0, true, false, "08070605"};
  ASSERT_TRUE(bld_if_and_or(&m.code, full, full, 1, 38, 10, &msg));
  end();
  std::memcpy(fa, "20241340", 8);
  std::memcpy(fb, "20241231", 8);
  EXPECT_EQ(run(ii2::cref(1, 0)), 300540);
  EXPECT_EQ(last_err(), 102540u);
  cv_date_set_pivot(-1);
  std::printf("dates: %ld comparisons\n", runs);
}

// Masks as an element holds them: 60 bytes padded with blanks, with no
// terminator; a blank one stands for every unit, as in the date statements.
TEST_F(IiTst, DatesTakeTheElementsBlankPaddedMasks) {
  cv_date_init();
  struct Padded {
    char mask[60];
    char next[4];  // the record goes on
  } all{}, ymd{};
  std::memset(all.mask, ' ', 60);
  std::memcpy(all.next, "050", 4);
  ymd = all;
  std::memcpy(ymd.mask, "08070605", 8);
  IbTstOp a16{4, 16, 0, true, false, all.mask}, a8{4, 8, 0, true, false, ymd.mask};
  struct Case {
    const IbTstOp& b;
    const char* tb;
    int c;
  };
  const Case cases[] = {{a16, "2024123123595998", 1}, {a16, "2024123123595999", 0}, {a16, "2025010100000000", -1},
                        {a8, "20241231", 0}, {a8, "20241230", 1}, {a8, "20250101", -1}};
  for (const Case& k : cases)
    for (int rel = 1; rel <= 6; ++rel) {
      build_if(a16, k.b, rel);
      std::memcpy(fa, "2024123123595999", 16);
      std::memcpy(fb, k.tb, std::strlen(k.tb));
      uint32_t mask = 0;
      ASSERT_EQ(run(ii2::cref(1, 0), &mask), 1) << k.tb;
      EXPECT_EQ((mask >> 8) & 3, holds(k.c, rel) ? 1u : 2u) << k.tb << " rel " << rel;
    }
}

// Two variable packed values at one scale (0, 2, 15, 31: the compare
// expansion's short path) of up to 15 digits and both signs, against
// __int128; a digit or sign nibble that is none is 300540.
TEST_F(IiTst, PackedAtOneScaleToFifteenDigits) {
  const int64_t kMags[] = {0, 1, 9, 10, 100000000000000, 123456789012345, 999999999999998, 999999999999999};
  auto put = [](uint8_t* f, int64_t v, int sc) {
    uint64_t m = uint64_t(v < 0 ? -v : v), w = v < 0 ? 0xD : 0xC;
    for (int i = 1; i < 16; ++i, m /= 10) w |= (m % 10) << (4 * i);
    for (int i = 0; i < 8; ++i) f[i] = uint8_t(w >> (8 * (7 - i)));
    f[8] = uint8_t(sc);
  };
  int runs = 0;
  for (int sc : {0, 2, 15, 31})
    for (int i = 0; i < 300; ++i) {
      int64_t x = kMags[u(8)] * (u(2) ? -1 : 1), y = u(3) ? kMags[u(8)] * (u(2) ? -1 : 1) : x;
      int rel = 1 + int(u(6));
      IbTstOp t{12, 9, uint8_t(sc), true, false};
      build_if(t, t, rel);
      put(fa, x, sc);
      put(fb, y, sc);
      int bad = int(u(12));
      if (bad == 0) fb[3] = uint8_t(fb[3] | 0xA0);  // a digit of 10
      if (bad == 1) fa[7] = uint8_t((fa[7] & 0xF0) | 0x5);  // a sign nibble of 5
      m.pcb->dbg->err_msg = 0;
      uint32_t mask = 0;
      int rc = run(ii2::cref(1, 0), &mask);
      if (bad <= 1) {
        ASSERT_EQ(rc, 300540) << x << " " << y;
        continue;
      }
      ASSERT_EQ(rc, 1) << x << " " << y;
      __int128 a = x, b = y;
      ASSERT_EQ((mask >> 8) & 3, holds(a < b ? -1 : a > b, rel) ? 1u : 2u) << x << " " << y << " rel " << rel;
      ++runs;
    }
  EXPECT_GT(runs, 800);
}

// Text dates from the century (8 and 14 characters, and 4 and 6), read
// where the days are near their limits, against the civil calendar of
// <chrono>: the comparison of the common units, a null date (blanks) below
// every date, and 102540 for a text that is no date (a month 0 or 13, a day
// past its month, a year 0, an hour 24, a minute 60, a character that is no
// digit (those just past the digits among them), blanks in part).
TEST_F(IiTst, TextDatesAgainstTheCivilCalendar) {
  struct Form {
    const char* mask;
    int len;
  };
  const Form forms[] = {{"08070605", 8}, {"08070605040302", 14}, {"0807", 4}, {"080706", 6}};
  auto pick = [&](std::initializer_list<int> v) { return *(v.begin() + u(v.size())); };
  auto make = [&](const Form& f) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d%02d%02d%02d%02d", pick({0, 19, 20, 99}), pick({0, 1, 4, 23, 24, 99}),
                  pick({0, 1, 2, 12, 13}), pick({0, 1, 28, 29, 30, 31, 32}), pick({0, 23, 24}), pick({0, 59, 60}),
                  pick({0, 59, 60}));
    std::string t(buf, size_t(f.len));
    if (u(12) == 0) t[u(t.size())] = "x /:?"[u(5)];
    if (u(12) == 0) t = std::string(t.size(), ' ');
    if (u(20) == 0) t = std::string(t.size(), '0');
    return t;
  };
  // The oracle: 0 no date, 1 null, 2 a date.
  auto kind = [](const std::string& t) {
    if (t.find_first_not_of(' ') == std::string::npos) return 1;
    if (t.find_first_not_of("0123456789") != std::string::npos) return 0;
    int v[7] = {0, 0, 1, 1, 0, 0, 0};
    for (size_t i = 0; 2 * i < t.size(); ++i) v[i] = std::stoi(t.substr(2 * i, 2));
    if (v[2] > 12 || v[3] > 31 || v[4] > 23 || v[5] > 59 || v[6] > 59) return 0;
    if (v[0] == 0 && v[1] == 0 && (t.size() < 6 || v[2] == 0) && (t.size() < 8 || v[3] == 0)) return 2;
    using namespace std::chrono;
    year_month_day d{year(v[0] * 100 + v[1]), month(unsigned(v[2])), day(unsigned(v[3]))};
    return v[0] * 100 + v[1] >= 1 && d.ok() ? 2 : 0;
  };
  long dates = 0, refused = 0;
  for (int i = 0; i < 4000; ++i) {
    const Form &x = forms[u(4)], &y = u(3) ? x : forms[u(4)];
    int rel = 1 + int(u(6));
    build_if({4, uint16_t(x.len), 0, true, false, x.mask}, {4, uint16_t(y.len), 0, true, false, y.mask}, rel);
    std::string ta = make(x), tb = u(4) ? make(y) : ta.substr(0, size_t(y.len)) + std::string(size_t(std::max(0, y.len - x.len)), '0');
    tb.resize(size_t(y.len), '0');
    std::memcpy(fa, ta.data(), ta.size());
    std::memcpy(fb, tb.data(), tb.size());
    int ka = kind(ta), kb = kind(tb);
    uint32_t mask = 0;
    int rc = run(ii2::cref(1, 0), &mask);
    if (ka == 0 || kb == 0) {
      ASSERT_EQ(rc, 300540) << "'" << ta << "' '" << tb << "'";
      ASSERT_EQ(last_err(), 102540u);
      ++refused;
      continue;
    }
    ASSERT_EQ(rc, 1) << "'" << ta << "' '" << tb << "'";
    size_t common = size_t(std::min(x.len, y.len));
    int c = ka == 1 || kb == 1 ? (ka == kb ? 0 : ka == 1 ? -1 : 1) : ta.compare(0, common, tb, 0, common);
    c = c < 0 ? -1 : c > 0;
    ASSERT_EQ((mask >> 8) & 3, holds(c, rel) ? 1u : 2u) << "'" << ta << "' '" << tb << "' rel " << rel;
    ++dates;
  }
  EXPECT_GT(dates, 1000);
  EXPECT_GT(refused, 300);
}

}  // namespace
