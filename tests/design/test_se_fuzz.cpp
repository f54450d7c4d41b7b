// Statement text: mutated corpus lines (fixed seed). Every line is refused
// at a column of the line, or accepted with a record that reads back from
// its own text unchanged. Run under the sanitizers too.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "design/se_dict_fixture.h"
#include "design/se_support.h"
#include "files/fm.h"

using namespace setest;

namespace {

std::string mutate(std::string l, std::mt19937& rng) {
  auto pick = [&](size_t n) { return n ? size_t(rng() % n) : 0; };
  int rounds = 1 + int(rng() % 3);
  for (int r = 0; r < rounds; ++r) {
    switch (rng() % 9) {
      case 0: if (!l.empty()) l[pick(l.size())] ^= char(1 << (rng() % 8)); break;   // flipped bit
      case 1: if (!l.empty()) l[pick(l.size())] = char(0x80 + rng() % 128); break;   // 8-bit byte
      case 2: l.resize(pick(l.size() + 1)); break;                                   // cut
      case 3: l.insert(pick(l.size() + 1), 1, '\t'); break;                         // tab
      case 4: l += std::string(rng() % 60, ' ') + char('!' + rng() % 90); break;    // long line
      case 5: if (!l.empty()) l[pick(l.size())] = char(' ' + rng() % 95); break;    // printable
      case 6: if (!l.empty()) l.erase(pick(l.size()), 1); break;                    // shift left
      case 7: l.insert(pick(l.size() + 1), 1, char(' ' + rng() % 95)); break;       // shift right
      default: if (l.size() > 15) l[15 + pick(l.size() - 15)] = ' '; break;          // blank an operand
    }
  }
  return l;
}

TEST(SeFuzz, RefusedAtAColumnOrReadBackUnchanged) {
  se_load_spellings();
  auto lines = corpus();
  ASSERT_FALSE(lines.empty());
  const char* env = std::getenv("QUVO_FUZZ_SEED");
  std::mt19937 rng(env ? unsigned(std::strtoul(env, nullptr, 10)) : 20261207u);
  int accepted = 0, refused = 0;
  for (int i = 0; i < 60000; ++i) {
    std::string l = mutate(lines[size_t(rng() % lines.size())], rng);
    Parsed a = parse(l, nullptr, (i & 7) == 0);
    if (!a.ok) {
      ASSERT_GE(a.col, 1) << l;
      ASSERT_LE(a.col, 80) << l;
      ++refused;
      continue;
    }
    ++accepted;
    std::string t = text(a.stmt, 80, (i & 7) == 0);
    Parsed b = parse(t, nullptr, (i & 7) == 0);
    ASSERT_EQ(b.ok, 1) << "accepted: [" << l << "]\ntext:     [" << t << "] refused at " << b.col;
    ASSERT_EQ(0, std::memcmp(&a.stmt, &b.stmt, sizeof(DStmt))) << "[" << l << "]\n[" << t << "]";
  }
  EXPECT_GT(accepted, 1000);
  EXPECT_GT(refused, 1000);
}

// The same with the dictionary checks: refusals, warnings and corrected
// application ids all keep the property.
TEST(SeFuzz, CheckedLinesToo) {
  bi_init_com();
  fms_init();
  se_load_spellings(true);
  {
    MemDict fix;
    SeDict dict("ABC", "01", true);
    SeDictValidator val(dict);
    std::vector<std::string> lines = corpus();
    for (const char* l : {
             "      IF       ABC AMOUNT                     GT     100",
             "      IF       ABC LINES                  005 EQ ABC AMOUNT                 002",
             "      IF       ABC COLOR                      EQ     BLUE",
             "      READ     ABC CUSTOMER       0         0         CUST NO",
             "      SET      ABC ERRORS                     =      1",
             "      COPY     ABC CALC TAX",
             "      STORE    ABC WORK AREA                  RECORD",
         })
      lines.push_back(l);
    std::mt19937 rng(77);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
      std::string l = mutate(lines[size_t(rng() % lines.size())], rng);
      Parsed a = parse(l, &val);
      if (!a.ok) {
        ASSERT_GE(a.col, 1) << l;
        ASSERT_LE(a.col, 80) << l;
        continue;
      }
      ++accepted;
      std::string t = text(a.stmt);
      Parsed b = parse(t, &val);
      ASSERT_EQ(b.ok, 1) << "accepted: [" << l << "]\ntext:     [" << t << "] refused at " << b.col;
      ASSERT_EQ(0, std::memcmp(&a.stmt, &b.stmt, sizeof(DStmt))) << "[" << l << "]\n[" << t << "]";
    }
    EXPECT_GT(accepted, 100);
  }
  fm_shutdown();
}

}  // namespace
