// CALC's parser and stack code: the compiled shape, the syntax errors, and
// expressions compiled and run on the interpreter.
#include <string>

#include "language/ii2_fix.h"
#include "language/sccalc.h"

namespace {

struct Refs {
  std::vector<std::string> seen;
  ii2::Fix* fix = nullptr;
  // Run mode: the fields of the letters and the constants.
  uint32_t dec[26] = {}, ints[26] = {};
  IbCode* code = nullptr;
  std::vector<std::pair<uint32_t, uint8_t*>> consts;
};

int var(void* ctx, char letter, bool is_int, uint32_t*) {
  auto* r = static_cast<Refs*>(ctx);
  r->seen.push_back(std::string(1, letter) + (is_int ? "I" : ""));
  if (r->code) bld_ira(r->code, is_int ? r->ints[letter - 'A'] : r->dec[letter - 'A'], 1);
  return 1;
}
int number(void* ctx, const char* text, int len, uint32_t* msg) {
  auto* r = static_cast<Refs*>(ctx);
  r->seen.push_back("#" + std::string(text, size_t(len)));
  if (!r->code) return 1;
  for (auto& c : r->consts) {
    PdCva cv{c.second, 8, 0};
    if (c.second[9] == 0) {  // a free one
      if (!pd_cva(text, len, '.', &cv)) {
        *msg = 101060;
        return 0;
      }
      c.second[8] = uint8_t(cv.scale);
      c.second[9] = 1;
      bld_ira(r->code, c.first, 1);
      return 1;
    }
  }
  return 0;
}

// The opcodes (and operand byte 4) of the code from block 1, offset 0, to
// the END.
std::string listing(iitest::Module& m) {
  std::string out;
  uint8_t* p = MADDR(m.em->inst.get(), 1);
  for (;;) {
    uint16_t op = rec::view<IbInst>(p).op;
    if (op == 10) break;
    out += std::to_string(op);
    if (op != 700) out += "/" + std::to_string(p[4]);
    out += " ";
    p += (ib_op(op).size + 3) & ~3u;
  }
  return out;
}

class ScCalc : public ii2::Fix {
 protected:
  Refs refs;
  CalcRefs cr{&refs, var, number};
  uint32_t compile(const char* text, char letter = 'A', bool is_int = false) {
    restart();
    refs.seen.clear();
    CalcTree t;
    std::string padded(text);
    padded.resize(59, ' ');
    uint32_t msg = parse_calc(padded.data(), 59, &t);
    if (msg) return msg;
    promote_tree(&t);
    if (!bld_calc(&m.code, t, padded.data(), letter, is_int, cr, &msg)) return msg;
    end();
    return 0;
  }
};

TEST_F(ScCalc, CompiledShapeOfAnExpression) {
  ASSERT_EQ(compile("B * (DI + 2)"), 0u);
  // reset; push A; push B; push DI; convert top; push 2; add; multiply; store.
  EXPECT_EQ(listing(m), "700 702/8 702/8 702/5 714/1 702/12 704/1 704/3 708/0 ");
  EXPECT_EQ(refs.seen, (std::vector<std::string>{"A", "B", "DI", "#2"}));
  ASSERT_EQ(compile("A"), 0u);
  EXPECT_EQ(listing(m), "700 702/8 702/8 708/0 ");
  ASSERT_EQ(compile("-(-B)"), 0u);
  EXPECT_EQ(listing(m), "700 702/8 702/8 706/0 706/0 708/0 ");
  ASSERT_EQ(compile("B--D"), 0u);
  EXPECT_EQ(listing(m), "700 702/8 702/8 702/8 706/0 704/2 708/0 ");
  ASSERT_EQ(compile("@ATAN2(B, @SQRT(CI))", 'Z', true), 0u);
  EXPECT_EQ(listing(m), "700 702/5 702/8 702/5 714/1 712/15 712/19 708/0 ");
  // A letter followed by I in the last two positions of the text.
  std::string tail(57, ' ');
  tail += "DI";
  ASSERT_EQ(compile(tail.c_str()), 0u);
  EXPECT_EQ(refs.seen.back(), "DI");
  // Left-associative: 1 - 2 - 3 is (1 - 2) - 3.
  ASSERT_EQ(compile("1-2-3"), 0u);
  EXPECT_EQ(listing(m), "700 702/8 702/12 702/12 704/2 702/12 704/2 708/0 ");
}

TEST_F(ScCalc, SyntaxErrors) {
  for (const char* bad : {"", "     ", "A+", "A B", "@SQRT (A)", "@ SQRT(A)", "@ATAN2(A)", "@NOPE(A)", "@(A)",
                          "(A", "A)", "A*/B", "-", "@SQRT(A", "@MOD(A,)", "a", "A+ +", "AI I", "1 2"})
    EXPECT_EQ(compile(bad), 101060u) << "'" << bad << "'";
  for (const char* good : {"A", " ( A ) ", "@MOD(A , B)", "@ABS(-1.5)", "1.25*AI", "A+B*C-D/E"})
    EXPECT_EQ(compile(good), 0u) << "'" << good << "'";
  // X+Y*( nested nine deep needs 21 entries besides the result: built.
  EXPECT_EQ(compile("A+B*(A+B*(A+B*(A+B*(A+B*(A+B*(A+B*(A+B*(A+B*(C)))))))))"), 0u);
}

TEST_F(ScCalc, CompiledExpressionsRun) {
  uint8_t* dec[26];
  uint8_t* ints[26];
  for (int i = 0; i < 26; ++i) {
    dec[i] = field(9, &refs.dec[i]);
    ints[i] = field(4, &refs.ints[i]);
  }
  for (int i = 0; i < 8; ++i) {
    uint32_t ira;
    refs.consts.push_back({0, field(10, &ira)});
    refs.consts.back().first = ira;
  }
  refs.code = &m.code;
  auto value = [&](const uint8_t* p) {
    PdFloat f{const_cast<uint8_t*>(p), 8, p[8]};
    return pd_to_float(&f);
  };
  auto go = [&](const char* text, char letter = 'A', bool is_int = false) {
    for (auto& c : refs.consts) c.second[9] = 0;
    EXPECT_EQ(compile(text, letter, is_int), 0u) << text;
    return run(ii2::cref(1, 0));
  };
  ii2::set_pd(dec[1], "1.5");
  rec::view<rec::U32>(ints[3]) = 4;
  ASSERT_EQ(go("B * (DI + 2)"), 1);
  EXPECT_DOUBLE_EQ(value(dec[0]), 9.0);
  // Integer variables convert first: BI / DI keeps the fraction in A.
  rec::view<rec::U32>(ints[1]) = 7;
  rec::view<rec::U32>(ints[3]) = 2;
  ASSERT_EQ(go("BI / DI"), 1);
  EXPECT_DOUBLE_EQ(value(dec[0]), 3.5);
  // Into an integer variable: rounded.
  ASSERT_EQ(go("BI / DI", 'C', true), 1);
  EXPECT_EQ(rec::view<rec::U32>(ints[2]).get(), 4u);
  // A number with two points fails when its constant is compiled.
  for (auto& c : refs.consts) c.second[9] = 0;
  EXPECT_EQ(compile("1..2"), 101060u);
}

}  // namespace
