// The statement families compiled from statement text: IF/AND/OR, CALC,
// loops, GOSUB/RETURN and OVERFLOW, stored in the dictionary, compiled by
// the process compiler and run through the interpreter.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "design/se.h"
#include "design/sefile.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "language/ibtst.h"
#include "language/ibutil.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "language/scfam.h"
#include "process/pc.h"
#include "process/piexec.h"
#include "process/pc_fixture.h"
#include "process/pl_fixture.h"
#include "support/stmt_text.h"

#include "language/scfam_fixture.h"

namespace {

using namespace scfamtest;
using namespace stmttext;

// The operand areas the compile functions read lie where the statement
// text's layout table puts them.
TEST(ScFamLayout, OperandAreasMatchTheLayoutTable) {
  EXPECT_EQ(xme_op(38, "occ")->offset, 0u);
  EXPECT_EQ(xme_op(38, "app")->offset, offsetof(ScOpnd, app));
  EXPECT_EQ(xme_op(38, "field")->offset, offsetof(ScOpnd, text));
  for (int v : {3, 38, 52, 20}) {
    EXPECT_EQ(xme_op(v, "occ2")->offset, offsetof(ScOpsTwo, op2)) << v;
    EXPECT_EQ(xme_op(v, "app2")->offset, offsetof(ScOpsTwo, op2) + offsetof(ScOpnd, app)) << v;
    EXPECT_EQ(xme_op(v, "field2")->offset, offsetof(ScOpsTwo, op2) + offsetof(ScOpnd, text)) << v;
  }
  for (int v : {3, 38, 52}) EXPECT_EQ(xme_op(v, "rel")->offset, offsetof(ScOpsTwo, rel));
  EXPECT_EQ(xme_op(20, "op")->offset, offsetof(ScOpsTwo, rel));
  EXPECT_EQ(xme_op(7, "letter")->offset, 0u);
  EXPECT_EQ(xme_op(7, "from")->offset, offsetof(ScOpsLoop, from));
  EXPECT_EQ(xme_op(7, "to")->offset, offsetof(ScOpsLoop, to));
  EXPECT_EQ(xme_op(7, "step")->offset, offsetof(ScOpsLoop, step));
  EXPECT_EQ(xme_op(31, "letter")->offset, 0u);
  EXPECT_EQ(xme_op(12, "letter")->offset, 0u);
  EXPECT_EQ(xme_op(12, "expr")->offset, offsetof(ScOpsCalc, expr));
  EXPECT_EQ(xme_op(12, "expr")->width, 59u);
  EXPECT_EQ(xme_op(54, "label")->offset, 0u);
  EXPECT_EQ(xme_op(36, "app")->offset, 0u);
  EXPECT_EQ(xme_op(36, "proc")->offset, offsetof(ScOpsGosub, label));
  // The file verbs: BEG AT 6, BEG READ 8, CLOSE 15, CREATE 22, DELETE 26,
  // END AT 30, END READ 33, IF EXIST 39, OPEN 51, READ 59, READNEXT 60,
  // REWRITE 64, SCRATCH 67, WRITE 84.
  for (int v : {6, 8, 15, 22, 26, 30, 33, 39, 51, 59, 60, 64, 67, 84}) {
    EXPECT_EQ(xme_op(v, "app")->offset, offsetof(ScOpsFile, app)) << v;
    EXPECT_EQ(xme_op(v, "file")->offset, offsetof(ScOpsFile, file)) << v;
  }
  for (int v : {59, 60, 8}) EXPECT_EQ(xme_op(v, "hold")->offset, offsetof(ScOpsFile, opt)) << v;
  for (int v : {39, 64, 67, 84}) EXPECT_EQ(xme_op(v, "fail")->offset, offsetof(ScOpsFile, opt)) << v;
  for (int v : {22, 51, 59, 60}) EXPECT_EQ(xme_op(v, "fail")->offset, offsetof(ScOpsFile, mode)) << v;
  for (int v : {22, 51}) EXPECT_EQ(xme_op(v, "share")->offset, offsetof(ScOpsFile, opt)) << v;
  EXPECT_EQ(xme_op(15, "physical")->offset, offsetof(ScOpsFile, opt));
  for (int v : {59, 60}) EXPECT_EQ(xme_op(v, "key")->offset, offsetof(ScOpsFile, key)) << v;
  EXPECT_EQ(xme_op(8, "key")->offset, offsetof(ScOpsFile, mode));   // BEG READ's key at 12
  for (int v : {6, 30}) {
    EXPECT_EQ(xme_op(v, "rel")->offset, offsetof(ScOpsAt, rel)) << v;
    EXPECT_EQ(xme_op(v, "occ")->offset, offsetof(ScOpsAt, value)) << v;
    EXPECT_EQ(xme_op(v, "app2")->offset, offsetof(ScOpsAt, value) + offsetof(ScOpnd, app)) << v;
    EXPECT_EQ(xme_op(v, "field")->offset, offsetof(ScOpsAt, value) + offsetof(ScOpnd, text)) << v;
  }
  // The property verbs: GETATTR 97, PUTATTR 98, DELATTR 99, MOVEATTR 100,
  // and the record forms 101-103.
  EXPECT_EQ(xme_op(97, "field")->offset, offsetof(ScOpsGetProp, field) + offsetof(ScOpnd, text));
  EXPECT_EQ(xme_op(97, "app2")->offset, offsetof(ScOpsGetProp, app));
  EXPECT_EQ(xme_op(97, "file")->offset, offsetof(ScOpsGetProp, file));
  EXPECT_EQ(xme_op(97, "attr")->offset, offsetof(ScOpsGetProp, prop));
  for (int v : {98, 99, 100}) {
    EXPECT_EQ(xme_op(v, "app")->offset, offsetof(ScOpsProp, app)) << v;
    EXPECT_EQ(xme_op(v, "file")->offset, offsetof(ScOpsProp, file)) << v;
  }
  for (int v : {98, 99}) EXPECT_EQ(xme_op(v, "attr")->offset, offsetof(ScOpsProp, prop)) << v;
  for (int v : {98, 100}) EXPECT_EQ(xme_op(v, "field")->offset, offsetof(ScOpsProp, field) + offsetof(ScOpnd, text)) << v;
  for (int v : {101, 102, 103}) {
    EXPECT_EQ(xme_op(v, "file")->offset, offsetof(ScOpsPropRec, file1)) << v;
    EXPECT_EQ(xme_op(v, "app2")->offset, offsetof(ScOpsPropRec, app2)) << v;
    EXPECT_EQ(xme_op(v, "file2")->offset, offsetof(ScOpsPropRec, file2)) << v;
  }
}

// COMPUTE target op source; CNV BIN and CNV TEXT of a target from a source
// (a field or, for the first two, a constant).
std::string compute(const char* t, char op, const char* src, bool field = false) {
  return line("", "COMPUTE", {{0, "---"}, {4, t}, {31, std::string(1, op)}, {34, field ? "---" : ""}, {38, src}});
}
std::string cnv_bin(const char* t, const char* src, bool field) {
  return line("", "CNV BIN", {{0, "---"}, {4, t}, {34, field ? "---" : ""}, {38, src}});
}
std::string cnv_text(const char* t, const char* src) {
  return line("", "CNV TEXT", {{0, "---"}, {4, t}, {34, "---"}, {38, src}});
}
// Field f := v through the text of calculation variable A (a decimal work
// field starts zeroed, no packed number). Three statements.
std::string set_via_text(const char* f, const char* v) {
  return calc("", "A", v) + cnv_text("T20", "A") + cnv_text(f, "T20");
}

TEST_F(ScFam, CalcWithLoopsAndIf) {
  Prog p("C1");
  p.add(calc("", "A", "0")).add(loop("I", "1", "10")).add(calc("", "A", "A + I * 3"));
  p.add(test("", "IF", "A", GT, "1000000")).add(calc("T", "A", "A - 1000000"));
  p.add(line("", "END LOOP", {{0, "I"}}));
  p.check("A", EQ, "165").check("A", EQ, "166", false).check("I", GE, "10");
  p.add(calc("", "AI", "2")).check("AI", EQ, "2");
  p.add(calc("", "AI", "7")).add(calc("", "B", "AI * 2 + 0.5")).check("B", EQ, "14.5");
  p.add(calc("", "C", "(B - 4.5) / 4")).check("C", EQ, "2.5");
  p.add(calc("", "D", "-C * (AI + 2)")).check("D", EQ, "-22.5").check("D", LT, "0");
  p.add(calc("", "BI", "AI * 3 - 1")).check("BI", EQ, "20").check("BI", GE, "21", false);
  p.add(calc("", "E", "@SQRT(16) + @ABS(-2)")).check("E", EQ, "6");
  p.add(calc("", "F", "2 / 3")).check("F", GT, "0.666").check("F", LT, "0.667");
  expect_runs(p);
}

TEST_F(ScFam, TruthMaskOverIfAndOr) {
  Prog p("T1");
  p.add(calc("", "A", "5")).add(calc("", "B", "7"));
  p.add(test("", "IF", "A", EQ, "5")).add(test("", "AND", "B", GT, "6")).log(true, "T").log(false, "F");
  p.add(test("", "IF", "A", EQ, "5")).add(test("", "AND", "B", LT, "6")).log(false, "T").log(true, "F");
  p.add(test("", "IF", "A", EQ, "4")).add(test("", "OR", "B", EQ, "7")).log(true, "T");
  p.add(test("", "IF", "A", EQ, "4")).add(test("", "OR", "B", NE, "7")).log(false, "T").log(true, "F");
  p.add(test("", "IF", "A", LE, "5")).add(test("", "OR", "B", EQ, "0")).log(true, "T");
  p.add(test("", "IF", "A", LT, "B", true)).log(true, "T");
  p.add(test("", "IF", "B", LT, "A", true)).log(false, "T");
  p.log(true);  // unconditional
  expect_runs(p);
}

TEST_F(ScFam, NestedBinaryAndBackwardLoops) {
  Prog p("L1");
  p.add(calc("", "A", "0")).add(calc("", "B", "0")).add(calc("", "C", "0"));
  p.add(loop("I", "1", "3")).add(loop("J", "1", "4")).add(calc("", "A", "A + 1"));
  p.add(line("", "END LOOP", {{0, "J"}})).add(line("", "END LOOP", {{0, "I"}}));
  p.check("A", EQ, "12");
  p.add(loop("K", "1", "5")).add(calc("", "B", "B + 2")).add(line("", "END LOOP", {{0, "K"}}));
  p.check("B", EQ, "10");
  p.add(loop("I", "3", "1", "-1")).add(calc("", "C", "C * 2 + I")).add(line("", "END LOOP", {{0, "I"}}));
  p.check("C", EQ, "17");
  // A loop whose bound is already passed runs no time.
  p.add(loop("I", "5", "1")).add(calc("", "C", "0")).add(line("", "END LOOP", {{0, "I"}}));
  p.check("C", EQ, "17");
  expect_runs(p);
}

TEST_F(ScFam, OverflowAndGosubThreeDeep) {
  Prog p("O1");
  p.add(line("", "OVERFLOW", {{0, "OVF"}}));
  p.add(calc("", "A", "1")).add(calc("", "B", "1")).add(line("", "GOSUB", {{4, "S1"}})).check("A", EQ, "8");
  // The second time the division fails: the trap, A unchanged.
  p.add(calc("", "B", "0")).add(line("", "GOSUB", {{4, "S3"}})).log(false);
  int s1 = p.n;
  p.add(line("", "LABEL", {{0, "S1"}})).add(calc("", "A", "A * 2")).add(line("", "GOSUB", {{4, "S2"}}));
  p.add(line("", "RETURN"));
  p.add(line("", "LABEL", {{0, "S2"}})).add(calc("", "A", "A * 2")).add(line("", "GOSUB", {{4, "S3"}}));
  p.add(line("", "RETURN"));
  p.add(line("", "LABEL", {{0, "S3"}})).add(calc("", "A", "A * 2 / B")).log(false).add(line("", "RETURN"));
  p.add(line("", "LABEL", {{0, "OVF"}})).check("A", EQ, "8").add(line("", "END PROC"));
  // The message in S3 runs once, during the first call.
  uint32_t in_s3 = uint32_t(100 * (s1 + 11));
  p.want.insert(p.want.begin(), in_s3);
  expect_runs(p);
}

// Without the trap a division by zero ends the process.
TEST_F(ScFam, UncaughtOverflowEndsTheProcess) {
  uint32_t acc = 0;
  Prog q("O2");
  q.add(calc("", "B", "0")).add(calc("", "A", "1 / B")).log(false);
  define(q.text);
  EXPECT_EQ(run("O2", &acc), 300540);
  EXPECT_EQ(acc, 0u);
}

// COMPUTE target op source over packed and binary fields and constants.
TEST_F(ScFam, ComputeOverPackedAndBinary) {
  Prog p("M1");
  p.add(calc("", "A", "5")).add(compute("A", '+', "3")).check("A", EQ, "8");
  p.add(calc("", "B", "2.5")).add(compute("A", '*', "B", true)).check("A", EQ, "20");
  p.add(compute("A", '-', "0.25")).check("A", EQ, "19.75");
  p.add(calc("", "AI", "7")).add(compute("AI", '*', "6")).check("AI", EQ, "42");
  p.add(compute("AI", '-', "B", true)).check("AI", EQ, "40");  // 39.5 rounded to the binary field
  p.add(compute("B", '+', "AI", true)).check("B", EQ, "42.5");
  p.add(compute("A", '/', "4")).check("A", GT, "4.93").check("A", LT, "4.94");
  expect_runs(p);
}

TEST_F(ScFam, ComputeOverflowAndRefusals) {
  Prog p("M2");
  p.add(calc("", "AI", "9")).add(calc("", "BI", "0")).add(line("", "OVERFLOW", {{0, "OVF"}}));
  p.add(compute("AI", '/', "BI", true)).log(false).add(line("", "END PROC"));
  p.add(line("", "LABEL", {{0, "OVF"}})).check("AI", EQ, "9");
  expect_runs(p);
}

TEST_F(ScFam, ComputeRefusesHashOnBinaryTargets) {
  // A hash subtract of two binary fields, a hash add into a binary field:
  // 101160 (the text writes the hash operators P and M).
  define(proc("M3") + compute("AI", 'M', "BI", true) + compute("AI", 'P', "A", true) + compute("A", 'P', "AI", true));
  expect_refused("M3", {101160, 101160});
}

// CNV BIN: the raw bytes of a short alpha field to and from a number.
TEST_F(ScFam, CnvBinBetweenAlphaAndNumbers) {
  Prog p("V1");
  p.add(calc("", "AI", "4276803")).add(cnv_bin("T4", "AI", true));  // 0x00414243: "CBA" and a zero byte
  p.add(cnv_bin("BI", "T4", true)).check("BI", EQ, "4276803");
  p.add(cnv_bin("T2", "16706", false)).add(cnv_bin("A", "T2", true)).check("A", EQ, "16706");  // "BA"
  p.add(cnv_bin("CI", "AB", false)).check("CI", EQ, "16961");  // 0x4241
  // A value the target cannot hold: 300540.
  p.add(line("", "OVERFLOW", {{0, "OVF"}})).add(cnv_bin("T2", "AI", true)).log(false).add(line("", "END PROC"));
  p.add(line("", "LABEL", {{0, "OVF"}})).log(true);
  expect_runs(p);
}

TEST_F(ScFam, CnvBinRefusals) {
  define(proc("V2") + cnv_bin("AI", "BI", true) + cnv_bin("T4", "T2", true) + cnv_bin("AI", "ABCDE", false) +
         cnv_bin("T4", "1X", false) + cnv_bin("T4", "99999999999", false) + cnv_bin("T4", "-7", false));
  expect_refused("V2", {102660, 102660, 102250, 102320, 200120});
}

// CNV TEXT of two fields: a number to its text and back, the truth mask
// true on success.
TEST_F(ScFam, CnvTextRoundTrip) {
  Prog p("X1");
  p.add(calc("", "AI", "-4711")).add(cnv_text("T20", "AI")).log(true, "T").log(false, "F");
  p.add(cnv_text("BI", "T20")).log(true, "T").check("BI", EQ, "-4711");
  // (A decimal variable shows the decimals its element gives: none here.)
  p.add(calc("", "A", "-1234")).add(cnv_text("T20", "A")).add(cnv_text("B", "T20")).check("B", EQ, "-1234");
  // A text the binary field cannot hold: false, the field unchanged.
  p.add(calc("", "A", "99999999999")).add(cnv_text("T20", "A")).add(cnv_text("BI", "T20")).log(false, "T").log(true, "F");
  p.check("BI", EQ, "-4711");
  expect_runs(p);
}

// IN and EX: the position found goes into the whole of "TEXT AT POSITION".
TEST_F(ScFam, InAndExStoreThePositionFound) {
  constexpr int IN = 7, EX = 8;
  Prog p("N1");
  p.add(calc("", "AI", "-4711")).add(cnv_text("T20", "AI"));
  p.check("T20", IN, "47").check("TEXT AT POSITION", EQ, "12").check("T20", EX, "47", false);
  p.check("T20", IN, "71").check("TEXT AT POSITION", EQ, "13");
  // Not found: the field keeps the last position.
  p.check("T20", IN, "17", false).check("T20", EX, "17").check("TEXT AT POSITION", EQ, "13");
  expect_runs(p);
}

// VERIFY of one field: its stored form checked by type into the truth mask.
TEST_F(ScFam, VerifyOneField) {
  auto vfy = [](const char* f, const char* mode) {
    return line("", "VERIFY", {{0, "---"}, {4, f}, {36, "FIELD"}, {56, mode}});
  };
  Prog p("Y1");
  p.add(calc("", "A", "-12.5")).add(vfy("A", "0")).log(true, "T").log(false, "F");
  p.add(calc("", "AI", "3")).add(vfy("AI", "1")).log(true, "T");
  expect_runs(p);
}

TEST_F(ScFam, CompileErrors) {
  define(proc("E1") + line("", "END LOOP", {{0, "B"}}) + loop("K", "1", "2") + calc("", "A", "A +") +
         calc("", "A", "@NOPE(B)") + line("", "OVERFLOW", {{0, "NOWHERE"}}) + calc("", "K", "1") +
         calc("", "A", "K + 1"));
  // (K is a 4-byte binary field: no decimal calculation variable.)
  expect_refused("E1", {102910, 101060, 101060, 100940, 100910, 101060, 101060});
}

TEST_F(ScFam, ReturnWithoutGosubEndsTheProcess) {
  define(proc("R1") + line("", "RETURN") + msg());
  uint32_t acc = 0;
  EXPECT_EQ(run("R1", &acc), 300540);
  EXPECT_EQ(acc, 0u);
}

// ------------------------------------------------------------ COPY --
std::string copy(const char* tf, const char* app, const char* name) {
  return line(tf, "COPY", {{0, app}, {4, name}});
}

// A COPY runs the Subroutine's statements under its own T/F column followed
// by theirs; a false COPY runs none of them.
TEST_F(ScFam, CopyRunsTheSubroutineUnderItsPrefix) {
  Prog m("CMAIN");
  m.add(calc("", "A", "5")).add(calc("", "B", "7"));
  m.add(test("", "IF", "A", EQ, "5")).add(copy("T", "ABC", "CSUB"));
  int first = m.n;
  m.log(true, "T");   // the COPY's column again after the body
  m.add(test("", "IF", "A", EQ, "4")).add(copy("T", "ABC", "CSUB")).log(true, "F");
  m.add(copy("", "ZZZ", "NOWHERE")).log(true);   // an application not in the compile: an empty block
  // CSUB: IF B = 8 at level 2 (false), then F, T and blank columns.
  Prog sub("CSUB");
  sub.add(test("", "IF", "B", EQ, "8")).log(true, "F").log(false, "T").log(true);
  define(m.text + sub.text);
  uint32_t acc = 0;
  EXPECT_EQ(run("CMAIN", &acc), 2);
  // The body's messages (its own sequence numbers) run during the first COPY.
  std::vector<uint32_t> want{200, 400};
  for (uint32_t w : m.want) want.push_back(w);
  (void)first;
  EXPECT_EQ(logged(), want);
  EXPECT_TRUE(errors("CMAIN").empty()) << testing::PrintToString(errors("CMAIN"));
}

// A Subroutine that copies itself, directly or through another one, fails
// at the inner COPY; a COPY of no Subroutine fails.
TEST_F(ScFam, CopyRecursionAndMissingSubroutines) {
  define(proc("RSELF") + copy("", "ABC", "RSELF") + proc("RA") + copy("", "ABC", "RB") + proc("RB") +
         copy("", "ABC", "RA") + proc("RMISS") + copy("", "ABC", "NOSUCH") + proc("ROK") + copy("", "ABC", "RLEAF") +
         copy("", "ABC", "RLEAF") + proc("RLEAF") + msg());
  expect_refused("RSELF", {101180});
  EXPECT_EQ(run("RA"), 4);
  auto a = errors("RA");
  EXPECT_EQ(a.size(), 1u);
  expect_refused("RMISS", {101180});
  // Copied twice: one CLIB record, both bodies run.
  uint32_t acc = 0;
  EXPECT_EQ(run("ROK", &acc), 2);
  EXPECT_EQ(acc, 2u);
  std::vector<uint32_t> all;
  for (const char* n : {"RA", "RB"})
    for (uint32_t m : errors(n)) all.push_back(m);
  EXPECT_EQ(all, (std::vector<uint32_t>{101180}));
}

// COPY nests 50 deep: N01 copies N02, ... N50 copies N51 (50 copies open),
// which runs its MESSAGE; N00 copying N01 is one more: 101180. Subroutines
// whose 30-character names differ in the last one are two: one copying the
// other inside a COPY is no recursion.
TEST_F(ScFam, CopyNestsFiftyDeepAndNamesDifferAtTheEnd) {
  auto n = [](int i) {
    char b[8];
    std::snprintf(b, sizeof b, "N%02d", i);
    return std::string(b);
  };
  std::string text;
  for (int i = 0; i <= 50; ++i) text += proc(n(i).c_str()) + copy("", "ABC", n(i + 1).c_str());
  text += proc("N51") + msg();
  define(text);
  // L0 copies L1, which copies L2: names that differ in their 30th
  // character. (Their PROCESS records are written here: the fixture's
  // titles would not hold the names.)
  auto l = [](int i) { return std::string(29, 'S') + char('0' + i); };
  SeFileResult r;
  ASSERT_EQ(se_read_file("l.stmt",
                         proc(l(0).c_str()) + copy("", "ABC", l(1).c_str()) + proc(l(1).c_str()) +
                             copy("", "ABC", l(2).c_str()) + proc(l(2).c_str()) + msg(),
                         nullptr, &r),
            0);
  std::vector<std::string> errs;
  ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
  std::vector<fx::Rec> procs;
  for (int i = 0; i < 3; ++i) {
    std::string stamp = "2026-03-01T00:00:0" + std::to_string(i);
    procs.push_back(pltest::proc_rec("LONG", 6, "0", 50, stamp, stamp));
    std::memcpy(rec::view<DProc>(procs.back().data()).proc_name.data(), l(i).data(), 30);
  }
  ASSERT_EQ(fx::write("PROCESS", "ABC", "00", procs), 3);
  uint32_t acc = 0;
  EXPECT_EQ(run("N01", &acc), 2);
  EXPECT_EQ(acc, 1u);
  EXPECT_TRUE(errors("N01").empty());
  EXPECT_EQ(run("N00"), 4);
  EXPECT_EQ(errors("N00"), std::vector<uint32_t>{101180});
  EXPECT_EQ(run(l(0).c_str(), &acc), 2);
  EXPECT_EQ(acc, 1u);
  EXPECT_TRUE(errors(l(0).c_str()).empty());
}

// A COPY under a full column (five levels) runs its Subroutine's statements
// under that column alone: their own columns find no level left.
TEST_F(ScFam, CopyUnderAFullColumn) {
  Prog m("CFULL");
  m.add(calc("", "A", "1"));
  for (const char* tf : {"", "T", "TT", "TTT", "TTTT"}) m.add(test(tf, "IF", "A", EQ, "1"));
  m.add(copy("TTTTT", "ABC", "CFSUB")).log(true);
  Prog sub("CFSUB");
  sub.log(true, "F");
  define(m.text + sub.text);
  EXPECT_EQ(run("CFULL"), 2);
  EXPECT_EQ(logged(), (std::vector<uint32_t>{sub.want[0], m.want[0]}));
  EXPECT_TRUE(errors("CFULL").empty()) << testing::PrintToString(errors("CFULL"));
}

// A check compiles the processes of its file from the file, a COPY of one
// of them too, and the statements of every other process (a COPY of a
// stored Subroutine, a compile of another process) from the dictionary; a
// process of the file without lines there has none. (Stored, each checked
// process copies a Subroutine there is none of: a check that read it
// would fail with 101180.)
TEST_F(ScFam, CheckReadsItsOwnProcessesFromItsFileAndTheRestFromTheDictionary) {
  std::string bad = copy("", "ABC", "NOSUCH");
  define(proc("KSUB") + msg() + proc("KMAIN") + bad + proc("KNEW") + bad + proc("KMISS") + bad + proc("KBAD") + bad);
  SeFileResult r;
  ASSERT_EQ(se_read_file("k.stmt",
                         proc("KMAIN") + copy("", "ABC", "KSUB") + copy("", "ABC", "KNEW") + proc("KNEW") + msg() +
                             "process 6 KMISS\n",
                         nullptr, &r),
            0);
  ASSERT_EQ(r.procs.size(), 3u);
  using Got = std::pair<int, std::vector<uint32_t>>;
  auto check = [](const char* name) {
    PiInvoc key;
    std::memset(static_cast<void*>(&key), 0, sizeof key);
    key.app.set("ABC");
    key.ver.set("00");
    key.type = 6;
    key.name.set(name);
    std::vector<DCmplErr> errs;
    uint32_t code = 0;
    int ok = pc_check(key, &errs, &code);
    Got got{ok, {}};
    for (const DCmplErr& e : errs) got.second.push_back(e.msg);
    return got;
  };
  mark(0, [&] {
    std::vector<std::string> why;
    FmArb* stmts = se_check_file("ABC", "00", nullptr, r.stmts, &why);
    ASSERT_NE(stmts, nullptr) << testing::PrintToString(why);
    pc_set_stmt_source("ABC", stmts, se_checked_procs(r.procs));
    EXPECT_EQ(check("KMAIN"), Got(1, {}));
    EXPECT_EQ(check("KMISS"), Got(1, {}));
    EXPECT_EQ(check("KSUB"), Got(1, {}));
    EXPECT_EQ(check("KBAD"), Got(0, {101180}));
    pc_set_stmt_source("ABC", nullptr);
  });
  pc_set_stmt_source("ABC", nullptr);
  // Without the source, the stored statements.
  EXPECT_EQ(check("KMAIN"), Got(0, {101180}));
}

// A GOSUB to a label the event point never defines runs the Subroutine of
// that name inline and returns; one of no Subroutine is 101350.
TEST_F(ScFam, GosubToAnUndefinedLabelRunsTheSubroutine) {
  Prog m("GMAIN");
  m.add(calc("", "A", "1")).add(line("", "GOSUB", {{4, "GSUB"}})).check("A", EQ, "3");
  m.add(line("", "GOSUB", {{4, "GSUB"}})).check("A", EQ, "5").log(true);
  Prog sub("GSUB");
  sub.add(calc("", "A", "A + 2")).add(line("", "GOTO", {{0, "ON"}})).log(false);
  sub.add(line("", "LABEL", {{0, "ON"}})).log(true);
  // A label a GOTO also references stays a label: undefined, 100940.
  define(m.text + sub.text + proc("GBAD") + line("", "GOSUB", {{4, "NOSUB"}}) + proc("GMIX") +
         line("", "GOSUB", {{4, "GSUB"}}) + line("", "GOTO", {{0, "GSUB"}}));
  uint32_t acc = 0;
  EXPECT_EQ(run("GMAIN", &acc), 2);
  ASSERT_EQ(m.want.size(), 3u);
  std::vector<uint32_t> want{sub.want[0], m.want[0], sub.want[0], m.want[1], m.want[2]};
  EXPECT_EQ(logged(), want);
  EXPECT_TRUE(errors("GMAIN").empty()) << testing::PrintToString(errors("GMAIN"));
  expect_refused("GBAD", {101350});
  expect_refused("GMIX", {100940});
}

// ------------------------------------------------- control edge cases --
// A GOTO into a loop body reaches its END LOOP without the BEG LOOP: 100910,
// which ends the event point as every uncaught run-time error does.
TEST_F(ScFam, GotoIntoALoopBody) {
  Prog p("GL1");
  p.add(line("", "GOTO", {{0, "IN"}})).add(loop("I", "1", "3")).add(line("", "LABEL", {{0, "IN"}}));
  p.log(true).add(line("", "END LOOP", {{0, "I"}})).log(false);
  expect_runs(p, 300540);
}

// A label defined twice, right after itself or further on, is 101410 at the
// second; names that differ in their last (30th) character are two labels;
// an event point of 300 labels, each a GOTO's target, runs.
TEST_F(ScFam, LabelsDefinedTwiceLongNamesAndMany) {
  std::string n1(30, 'L'), n2(30, 'L');
  n2[29] = 'M';
  Prog p("LB1");
  p.add(line("", "GOTO", {{0, n2}})).log(false).add(line("", "LABEL", {{0, n1}})).log(false);
  p.add(line("", "LABEL", {{0, n2}})).log(true);
  for (int i = 0; i < 300; ++i) {
    std::string l = "MANY " + std::to_string(i);
    p.add(line("", "GOTO", {{0, l}})).log(false).add(line("", "LABEL", {{0, l}}));
  }
  p.log(true);
  std::string twice = line("", "LABEL", {{0, "TWICE"}});
  expect_runs(p, 2, proc("LB2") + twice + twice + proc("LB3") + twice + msg() + twice);
  expect_refused("LB2", {101410});
  expect_refused("LB3", {101410});
}

// GOSUB three deep: each subroutine changes the truth mask; each RETURN
// gives the caller its own back.
TEST_F(ScFam, GosubThreeDeepRestoresTheMask) {
  Prog p("GM1");
  p.add(calc("", "A", "1")).add(test("", "IF", "A", EQ, "1")).add(line("T", "GOSUB", {{4, "S1"}}));
  p.log(true, "T").log(false, "F").add(line("", "END PROC"));
  p.add(line("", "LABEL", {{0, "S1"}})).add(test("", "IF", "A", EQ, "2")).add(line("F", "GOSUB", {{4, "S2"}}));
  p.log(true, "F").add(line("", "RETURN"));
  p.add(line("", "LABEL", {{0, "S2"}})).add(test("", "IF", "A", EQ, "1")).add(line("T", "GOSUB", {{4, "S3"}}));
  p.log(true, "T").add(line("", "RETURN"));
  p.add(line("", "LABEL", {{0, "S3"}})).add(test("", "IF", "A", EQ, "3")).log(true, "F").add(line("", "RETURN"));
  define(p.text);
  // Order of the run: S3's message, then S2's, S1's, the caller's.
  std::vector<uint32_t> w = p.want;
  ASSERT_EQ(w.size(), 4u);
  std::vector<uint32_t> want{w[3], w[2], w[1], w[0]};
  EXPECT_EQ(run("GM1"), 2);
  EXPECT_EQ(logged(), want);
  EXPECT_TRUE(errors("GM1").empty());
}

// An event point that ends inside a subroutine leaves no GOSUB entry in the
// interpreter's pool.
TEST_F(ScFam, NoGosubEntryLeftAfterTheEventPointEndsInside) {
  Prog p("GE1");
  p.add(line("", "GOSUB", {{4, "S1"}})).log(false);
  p.add(line("", "LABEL", {{0, "S1"}})).add(line("", "GOSUB", {{4, "S2"}})).log(false);
  p.add(line("", "LABEL", {{0, "S2"}})).log(true).add(line("", "END PROC"));
  define(p.text);
  EXPECT_EQ(run("GE1"), 2);
  MmPool pool = mm_create_pool(" IIPOOL    ", com.base_scope, 0);
  size_t before = mm_pool_live(pool);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(run("GE1"), 2);
  EXPECT_EQ(mm_pool_live(pool), before);
  EXPECT_EQ(logged(), p.want);
}

// A copier's module records the copied Subroutine's change stamp: after the
// Subroutine changes, the next run compiles the copier again.
TEST_F(ScFam, AChangedCopiedSubroutineRecompilesItsCopier) {
  auto store = [&](const std::string& text, uint32_t seq = 0) {
    SeFileResult r;
    ASSERT_EQ(se_read_file("t.stmt", text, nullptr, &r), 0);
    if (seq) r.stmts[0].seq = seq;
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
  };
  std::string main_text = proc("KMAIN") + calc("", "A", "1") + copy("", "ABC", "KSUB") + test("", "IF", "A", EQ, "2") +
                          msg("T") + test("", "IF", "A", EQ, "4") + msg("T");
  store(main_text + proc("KSUB") + calc("", "A", "A + 1"));
  ASSERT_EQ(fx::write("PROCESS", "ABC", "00",
                      {pltest::proc_rec("KMAIN", 6, "1", 50, "2026-03-01T00:00:01", "2026-03-01T00:00:01"),
                       pltest::proc_rec("KSUB", 6, "1", 50, "2026-03-01T00:00:02", "2026-03-01T00:00:02")}),
            2);
  uint32_t acc = 0;
  EXPECT_EQ(run("KMAIN", &acc), 2);
  EXPECT_EQ(logged(), (std::vector<uint32_t>{400}));
  // A second statement adding 2, and a new change stamp.
  store(proc("KSUB") + calc("", "A", "A + 2"), 200);
  // The Subroutine's change stamp moves on, and with it the application's
  // (the loader looks at an application's pieces when its stamp changed).
  auto bump = [](FmFdb* f, uint8_t* rec, uint8_t* stamp) {
    ASSERT_EQ(FM_OPEN(f, com.depth, 0, 0, 15), 1);
    FmArb* a = f->handle.get();
    PROTO_FULL(a, 0, rec);
    a->op = FM_OP_HOLD;
    ASSERT_EQ(fm_read(a), 1);
    a->op = 0;
    stamp[7] = uint8_t(stamp[7] + 1);
    ASSERT_EQ(fm_rewrite(a), 1);
    FM_CLOSE(a, 0);
  };
  PcBuf<FmKdb> kdb(sizeof(FmKdb) * FM_CAT_KDB_AREA);
  PcBuf<FmSdb> sdb(sizeof(FmSdb) * FM_CAT_SDB_AREA);
  FmFdb f;
  INIT_DPROC_FDB(&f, kdb.p, sdb.p, "ABC", "00");
  PcBuf<DProc> d;
  d->proc_type = 6;
  d->proc_name.set("KSUB");
  bump(&f, d.bytes(), d->changed.b);
  FmFdb g;
  INIT_DAP_FDB(&g, kdb.p, sdb.p);
  PcBuf<DAppl> ap;
  std::memset(ap.bytes(), ' ', sizeof(DAppl));
  ap->app.set("ABC");
  ap->ver.set("00");
  bump(&g, ap.bytes(), ap->stamp.b);
  pi_getters_reset();
  EXPECT_EQ(run("KMAIN", &acc), 2);
  EXPECT_EQ(logged(), (std::vector<uint32_t>{600}));
}

// ------------------------------------------------------------ CALC --
// The instructions of CALC A = B * (DI + 2), as the trace names them:
// reset; push A; push B; push DI; convert the top; push 2; add; multiply;
// store.
TEST_F(ScFam, CalcShapeOfAMixedExpression) {
  Prog p("CS1");
  p.add(calc("", "B", "1.5")).add(calc("", "DI", "4")).add(calc("", "A", "B * (DI + 2)")).check("A", EQ, "9");
  define(p.text);
  FILE* t = std::tmpfile();
  ASSERT_NE(t, nullptr);
  ii_set_trace(t);
  EXPECT_EQ(run("CS1"), 2);
  ii_set_trace(nullptr);
  std::rewind(t);
  std::string seq;
  char buf[512];
  while (std::fgets(buf, sizeof buf, t)) {
    std::string l = buf;
    size_t at = l.find(" -"), e = l.find(" - ", at + 2);
    if (l[0] == '(' || at == std::string::npos || e == std::string::npos) continue;
    std::string n = l.substr(at + 2, e - at - 2);
    while (!n.empty() && n.back() == ' ') n.pop_back();
    seq += n + " ";
  }
  std::fclose(t);
  EXPECT_EQ(logged(), p.want);
  const std::string push = "RLOC_IRA_1 RLOC_CALC_OPRND ";
  std::string want = "RLOC_RESET_CALC_STACK " + push + push + push +
                     "RLOC_ALTER_ELEM RLOC_CNST_1 RLOC_CALC_OPRND RLOC_CALC_2_OPS RLOC_CALC_2_OPS RLOC_CALC_EQ "
                     "RLOC_IRA_1 RLOC_CNST_2 ";
  EXPECT_NE(seq.find(want), std::string::npos) << seq;
}

// Syntax errors of CALC expressions are 101060, each on its statement.
TEST_F(ScFam, CalcSyntaxErrors) {
  std::string text = proc("CE1");
  const char* bad[] = {"A +",        "(A + 1",     "A + 1)",   "@SQRT (4)", "@ SQRT(4)",
                       "@ATAN2(1)",  "@NOPE(1)",     "@(1)",       "A B",      "1 2",       "A * * 2",
                       "@SQRT(4",    "@ATAN2(1 2)",  "A + .",      "#",        "1..2",      "A + (",
                       "@SQRT4)",    "@SQR(4)",    "@LOG1(100)"};
  for (const char* e : bad) text += calc("", "A", e);
  define(text);
  EXPECT_EQ(run("CE1"), 4);
  auto got = errors("CE1");
  EXPECT_EQ(got, std::vector<uint32_t>(std::size(bad), 101060u)) << testing::PrintToString(got);
}

// ------------------------------------------------------------- fuzz --
// Random STMT records of the computing, control and miscellaneous verbs
// through the compiler (at an event point the runner does not run): the
// compile never crashes, and a process that does not compile has a
// CMPL_ERR record for it. Seeded.
TEST_F(ScFam, RandomStatementsCompileOrAreRecordedErrors) {
  SeFileResult tr;
  ASSERT_EQ(se_read_file("t.stmt", proc("FZ") + msg(), nullptr, &tr), 0);
  const DStmt base = tr.stmts.at(0);
  std::mt19937 rng(19);
  auto pick = [&](auto const& v) { return v[rng() % std::size(v)]; };
  const int verbs[] = {3,  7,  12, 16, 18, 20, 21, 31, 36, 37, 38, 42, 52, 54, 57, 63, 77, 78, 80, 96,
                       6,  8,  15, 22, 26, 30, 33, 39, 51, 59, 60, 64, 67, 84};
  const char* apps[] = {"0LA", "ABC", "   ", "ZZZ", "0L"};
  const char* names[] = {"A", "AI", "B", "K", "T4", "T20", "X", "FZ1", "FZ2", "", "DI"};
  const char* tfs[] = {"     ", "T    ", "F    ", "TF   ", "1 0  ", "?    ", "TTTTT"};
  auto opnd = [&](uint8_t* o) {   // a 30-byte operand reference
    std::memset(o, ' ', 30);
    o[0] = uint8_t(rng() % 4);
    o[1] = uint8_t(rng() % 3 == 0 ? rng() : 0);
    o[2] = uint8_t(rng() % 4);
    std::memcpy(o + 4, pick(apps), 3);
    const char* n = pick(names);
    std::memcpy(o + 7, n, std::strlen(n));
    if (rng() % 5 == 0) std::memcpy(o + 7, "12.5", 4);
  };
  constexpr int kProcs = 120, kPer = 5;
  std::vector<DStmt> all;
  for (int p = 0; p < kProcs; ++p) {
    for (int i = 0; i < kPer; ++i) {
      DStmt st = base;
      std::string name = "FZ" + std::to_string(p);
      std::memset(st.proc_name.data(), ' ', 30);
      std::memcpy(st.proc_name.data(), name.data(), name.size());
      st.event_point = 30;
      st.seq = uint32_t(100 * (i + 1));
      st.verb = uint16_t(pick(verbs));
      std::memcpy(st.tf.data(), pick(tfs), 5);
      uint8_t* ops = st.ops.b;
      switch (rng() % 3) {
        case 0:   // bytes at random
          for (size_t k = 0; k < 64; ++k) ops[k] = uint8_t(rng());
          break;
        case 1:   // two operand references and an operator or relation
          opnd(ops);
          opnd(ops + 30);
          ops[60] = uint8_t(pick(std::string("+-*/PM=1234567809")));
          ops[61] = uint8_t(rng() % 4);
          break;
        default:  // a name (label, Subroutine, loop letter, expression) and small numbers
          std::memset(ops, ' ', 64);
          std::memcpy(ops, pick(apps), 3);
          {
            const char* n = pick(names);
            std::memcpy(ops + 3 * (rng() % 2), n, std::strlen(n));
          }
          for (int k = 4; k < 16; k += 2) ops[k] = uint8_t(rng() % 3 == 0 ? rng() : rng() % 8);
          if (rng() % 3 == 0) std::memcpy(ops + 4, "A * (B + 2", 10);
          break;
      }
      all.push_back(st);
    }
  }
  std::vector<std::string> errs;
  int stored = se_store_dict("ABC", "00", nullptr, all, &errs);
  ASSERT_GT(stored, kProcs);
  define_procs(all);
  int compiled = 0, refused = 0;
  for (int p = 0; p < kProcs; ++p) {
    std::string name = "FZ" + std::to_string(p);
    int rc = run(name.c_str());
    auto e = errors(name.c_str());
    if (rc == 2) {
      ++compiled;
      EXPECT_TRUE(e.empty()) << name;
    } else {
      ++refused;
      EXPECT_EQ(rc, 4) << name;
      std::string what;
      for (const DStmt& st : all)
        if (std::string(st.proc_name.data(), name.size()) == name && st.proc_name[name.size()] == ' ') {
          what += " " + std::to_string(st.verb.get()) + ":";
          for (int k = 0; k < 40; ++k) what += (st.ops.b[k] >= 32 && st.ops.b[k] < 127) ? char(st.ops.b[k]) : '.';
        }
      EXPECT_FALSE(e.empty()) << name << " refused without a compile error (" << rc << "):" << what;
      for (uint32_t m : e) EXPECT_NE(m, 0u) << name;
    }
  }
  EXPECT_GT(refused, 0);
  RecordProperty("compiled", compiled);
}

// ------------------------------------------- TRAP, TIMEOUT, PRINT, TOTAL --
// TRAP without the debugger's traps switched on does nothing; TIMEOUT sets
// (or with a blank label clears) the lock time-out, its label resolved with
// the others; PRINT outside Start of Frame is a no-operation, and in a
// Subroutine does nothing when it runs.
TEST_F(ScFam, TrapTimeoutAndPrintRun) {
  Prog p("TT1");
  p.add(line("", "TRAP")).log(true);
  p.add(line("", "TIMEOUT", {{0, "LOCKED"}, {34, "0LA"}, {38, "AI"}})).log(true);
  p.add(line("", "TIMEOUT", {{0, "LOCKED"}, {34, "0LA"}, {38, "A"}})).log(true);   // variable packed seconds
  p.add(line("", "TIMEOUT", {})).log(true);
  p.add(line("", "PRINT", {{0, "0LA"}, {4, "T20"}, {34, "1"}, {43, "22"}, {55, "20"}})).log(true);
  p.add(line("", "END PROC")).add(line("", "LABEL", {{0, "LOCKED"}})).log(false);
  expect_runs(p);
}

TEST_F(ScFam, TimeoutAndTotalRefusals) {
  // An alpha seconds field: 101770; a label never defined: 100940.
  define(proc("TT2") + line("", "TIMEOUT", {{0, "LOCKED"}, {34, "0LA"}, {38, "T4"}}) +
         line("", "TIMEOUT", {{0, "NOWHERE"}, {34, "0LA"}, {38, "AI"}}) +
         // TOTAL of no field.
         line("", "TOTAL", {{0, "0LA"}, {4, "NOPE"}, {31, "+"}, {38, "1"}}) + line("", "LABEL", {{0, "LOCKED"}}));
  expect_refused("TT2", {101770, 100940, 102080});
}

// Option bytes stored past what the editor lets through (statements stored
// with their bytes changed), each at its last value and one past it: an
// invocation kind of 2 and 3 (100895), a failure mode of 3 and 4 (102630)
// of an invocation, RUN, CALL and VERIFY, and a CALL flag '1' and '2'
// (102620). (At an event point the runner does not reach: compiled only.)
TEST_F(ScFam, StoredOptionsAtTheirLastValueAndOnePast) {
  std::string stmts = line("", "SUBR", {{0, "ABC"}, {4, "NOSUCH"}, {37, "RELATED"}, {55, "N"}, {63, "0"}}) +
                      line("", "RUN", {{4, "true"}, {49, "N"}, {57, "0"}}) +
                      line("", "CALL", {{4, "lib,fn"}, {41, "N"}, {49, "N"}, {57, "0"}}) +
                      line("", "VERIFY", {{0, "0LA"}, {4, "A"}, {36, "FIELD"}, {56, "0"}});
  SeFileResult r;
  ASSERT_EQ(se_read_file("t.stmt", proc("OPT1") + msg() + "statements 30\n" + stmts + stmts + proc("OPT2") + msg() +
                                       "statements 30\n" + stmts + stmts,
                         nullptr, &r),
            0);
  ASSERT_EQ(r.stmts.size(), 18u);
  for (int past = 0; past < 2; ++past) {
    DStmt* s = &r.stmts[size_t(1 + 9 * past)];
    s[0].ops.b[33] = uint8_t(2 + past);    // SUBR: the invocation kind
    s[1].ops.b[31] = uint8_t(3 + past);    // RUN: the failure mode
    s[2].ops.b[31] = uint8_t('1' + past);  // CALL: its flag
    s[3].ops.b[31] = uint8_t(3 + past);    // VERIFY: the failure mode
    s[4].ops.b[35] = uint8_t(3 + past);    // SUBR: the failure mode
    s[5].ops.b[30] = uint8_t('1' + past);  // RUN: its flag
    s[6].ops.b[32] = uint8_t(3 + past);    // CALL: the failure mode
  }
  std::vector<std::string> errs;
  ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
  define_procs(r.stmts);
  EXPECT_EQ(run("OPT1"), 2);
  EXPECT_TRUE(errors("OPT1").empty()) << testing::PrintToString(errors("OPT1"));
  expect_refused("OPT2", {100895, 102620, 102620, 102630, 102630, 102630, 102630});
}

// TOTAL compiles against the field's report total (at an event point the
// runner does not reach: without a report the accumulators are not there).
TEST_F(ScFam, TotalCompilesAgainstTheReportTotal) {
  define(proc("TT3") + msg() + "statements 30\n" + line("", "TOTAL", {{0, "0LA"}, {4, "A"}, {31, "+"}, {38, "1"}}) +
         line("", "TOTAL", {{0, "0LA"}, {4, "B"}, {31, "P"}, {34, "0LA"}, {38, "T4"}}) +
         line("", "TOTAL", {{0, "0LA"}, {4, "C"}, {31, "*"}, {34, "0LA"}, {38, "AI"}}) +
         // PRINT at Start of Frame compiles to the text and its three numbers.
         "statements 21\n" + line("", "PRINT", {{0, "0LA"}, {4, "T80"}, {34, "1"}, {43, "21"}, {55, "80"}}) +
         line("", "PRINT", {{0, "0LA"}, {4, "T20"}, {34, "1"}, {43, "22"}, {55, "20"}}));
  uint32_t acc = 0;
  EXPECT_EQ(run("TT3", &acc), 2);
  EXPECT_EQ(acc, 1u);
  EXPECT_TRUE(errors("TT3").empty()) << testing::PrintToString(errors("TT3"));
}

// VERIFY with the field's dictionary conditions, and of every data field of
// a file (its group header left out).
TEST_F(ScFam, VerifyDictionaryConditionsAndFiles) {
  auto vfy = [](const char* f, const char* mode) {
    return line("", "VERIFY", {{0, "0LA"}, {4, f}, {36, "FIELD"}, {56, mode}});
  };
  auto vfy_file = [](const char* file) {
    return line("", "VERIFY", {{0, "0LA"}, {4, file}, {36, "RECORD"}, {56, "0"}});
  };
  Prog p("Y2");
  p.add(set_via_text("V1", "15")).add(set_via_text("V2", "3"));
  p.n += 4;
  p.add(vfy("V1", "0")).log(true, "T").log(false, "F");
  p.add(vfy_file("VF")).log(true, "T").log(false, "F");
  p.add(set_via_text("V1", "25"));
  p.n += 2;
  p.add(vfy("V1", "0")).log(false, "T").log(true, "F");
  p.add(set_via_text("V1", "10")).add(set_via_text("V2", "-1"));
  p.n += 4;
  p.add(vfy("V1", "0")).log(true, "T");
  p.add(vfy("V2", "0")).log(false, "T").log(true, "F");
  p.add(vfy_file("VF")).log(false, "T").log(true, "F");
  // One under the low value, the high one and one past it.
  const std::pair<const char*, bool> edges[] = {{"9", false}, {"20", true}, {"21", false}};
  for (const auto& [v, holds] : edges) {
    p.add(set_via_text("V1", v));
    p.n += 2;
    p.add(vfy("V1", "0")).log(holds, "T");
  }
  // And a file of an application not there: 101910.
  expect_runs(p, 2, proc("Y3") + line("", "VERIFY", {{0, "ZZZ"}, {4, "VF"}, {36, "RECORD"}, {56, "0"}}));
  expect_refused("Y3", {101910});
}

// CNV TEXT of a file's fields into a text field and back, each at its
// running offset; a text field too short for them is 100690.
TEST_F(ScFam, CnvTextOfAFile) {
  Prog p("X2");
  p.add(set_via_text("V1", "15")).add(set_via_text("V2", "-3"));
  p.n += 4;
  p.add(cnv_text("T80", "VF")).log(true, "T").log(false, "F");
  p.add(set_via_text("V1", "99")).add(set_via_text("V2", "7"));
  p.n += 4;
  p.add(cnv_text("VF", "T80")).log(true, "T");
  p.check("V1", EQ, "15").check("V2", EQ, "-3");
  expect_runs(p, 2, proc("X3") + cnv_text("T20", "VF") + cnv_text("T4", "NOFILE"));
  expect_refused("X3", {100690, 102080});
}
// CNV TEXT of every occurrence: the target counted, else the source; the
// other operand's own occurrences, one field's value for every text, or the
// texts side by side in one text field (too short: 100690).
TEST_F(ScFam, CnvTextOfEveryOccurrence) {
  Prog p("X4");
  // One value into every text, every text into the integers, the integers
  // side by side into one text.
  p.add(calc("", "AI", "-4711")).add(cnv_text("X3", "AI")).log(true, "T").log(false, "F");
  p.add(cnv_text("N3", "X3")).log(true, "T").add(cnv_text("T80", "N3")).log(true, "T");
  // Other values, then back from the text side by side: each occurrence
  // again -4711, as the last text read into one field shows.
  p.add(calc("", "AI", "5")).add(cnv_text("X3", "AI")).add(cnv_text("N3", "X3"));
  p.add(cnv_text("X2", "N3")).add(cnv_text("BI", "X2")).check("BI", EQ, "5");
  p.add(cnv_text("N3", "T80")).log(true, "T");
  p.add(cnv_text("X3", "N3")).add(cnv_text("BI", "X3")).check("BI", EQ, "-4711");
  // Two texts against three integers: two converted.
  p.add(calc("", "AI", "9")).add(cnv_text("X3", "AI")).add(cnv_text("N3", "X3")).add(cnv_text("X2", "AI"));
  p.add(calc("", "AI", "77")).add(cnv_text("T20", "AI")).add(cnv_text("X2", "T20"));
  p.add(cnv_text("N3", "X2")).log(true, "T").add(cnv_text("X3", "N3")).add(cnv_text("BI", "X3")).check("BI", EQ, "9");
  // Texts the integers cannot hold: false.
  p.add(cnv_text("N3", "T80")).log(true, "T").add(calc("", "A", "99999999999")).add(cnv_text("T20", "A"));
  p.add(cnv_text("X3", "T20")).add(cnv_text("N3", "X3")).log(false, "T").log(true, "F");
  expect_runs(p, 2, proc("X5") + cnv_text("T20", "N3"));
  expect_refused("X5", {100690});
}

// CNV TEXT of one field and one text: a text shorter than the field's
// display width would be written (or read) past its end: 100690, as for
// texts side by side.
TEST_F(ScFam, CnvTextIntoATextShorterThanTheDisplayIsRefused) {
  define(proc("X6") + cnv_text("T2", "AI") + proc("X7") + cnv_text("AI", "T2"));
  expect_refused("X6", {100690});
  expect_refused("X7", {100690});
}


// ------------------------------------------------- constants and loops --
// A number as statement text of exactly `width` characters where it can be
// (leading zeros pad it): m / 10^s, with a sign when negative.
std::string spell(__int128 m, int s, int width) {
  bool neg = m < 0;
  std::string d;
  for (__int128 a = neg ? -m : m; a != 0; a /= 10) d.insert(d.begin(), char('0' + int(a % 10)));
  while (int(d.size()) <= s) d.insert(d.begin(), '0');
  if (s > 0) d.insert(d.end() - s, '.');
  int pad = width - int(d.size()) - (neg ? 1 : 0);
  if (pad > 0) d.insert(0, size_t(pad), '0');
  return (neg ? "-" : "") + d;
}
int cmp_value(__int128 a, int sa, __int128 b, int sb) {
  for (; sa < sb; ++sa) a *= 10;
  for (; sb < sa; ++sb) b *= 10;
  return a < b ? -1 : a > b ? 1 : 0;
}

// IF, AND and OR compare a calculation variable with a constant of every
// width the operand holds (1-22 characters), with and without sign, point
// and leading zeros, by value: the variable set by CALC from one spelling,
// compared with the same value spelled at another width, or a neighbour.
// The decimal variable H and the integer variable AI; seeded.
TEST_F(ScFam, ConstantsOfEveryWidthCompareByValue) {
  std::mt19937_64 rng(std::getenv("QUVO_II_SEED") ? std::strtoull(std::getenv("QUVO_II_SEED"), nullptr, 10) : 25);
  auto u = [&](uint64_t n) { return n ? rng() % n : 0; };
  Prog p("W1");
  // 17 characters: read whole, not cut to the 16 of the display.
  p.add(calc("", "H", "0.017334934977406")).check("H", EQ, "0.017334934977406");
  p.check("H", EQ, "0.01733493497740", false);
  p.add(calc("", "H", "-1.23456789012345")).check("H", EQ, "-1.23456789012345").check("H", LT, "-1.2345678901234");
  int checks = 0;
  for (int width = 1; width <= 22; ++width) {
    for (int variant = 0; variant < 8; ++variant) {
      bool integer = variant == 0;  // AI, within 32 bits
      bool neg = width > 1 && u(2) == 0;
      // Digits and scale of a value that spells in `width` characters.
      int room = width - (neg ? 1 : 0);
      int s = integer || room < 3 || u(3) == 0 ? 0 : int(1 + u(uint64_t(room - 2)));
      int max_sig = std::min(integer ? 9 : 15, room - (s > 0 ? 1 : 0));
      int sig = int(1 + u(uint64_t(max_sig)));
      __int128 m = 0;
      for (int k = 0; k < sig; ++k) m = m * 10 + __int128(k == 0 ? 1 + u(9) : u(10));
      if (u(8) == 0) m = 0;
      if (neg) m = -m;
      std::string t1 = spell(m, s, width);
      if (int(t1.size()) != width) continue;  // (a zero with a sign)
      // The other side: the same value at another width (trailing zero
      // decimals added where they fit), or a neighbour one unit away.
      int width2 = int(1 + u(22));
      __int128 m2 = m;
      int s2 = s;
      if (u(2) == 0) {
        m2 += u(2) ? 1 : -1;
      } else if (!integer) {
        for (int k = int(u(4)); k > 0 && int(spell(m2 * 10, s2 + 1, 0).size()) <= 22; --k) {
          m2 *= 10;
          ++s2;
        }
      }
      std::string t2 = spell(m2, s2, width2);
      if (t2.size() > 22) continue;
      const char* var = integer ? "AI" : "H";
      p.add(calc("", var, t1.c_str()));
      int rel = int(1 + u(6));
      bool holds = ii_rel(cmp_value(m, s, m2, s2), rel) == 1;
      switch (u(3)) {
        case 0:
          p.add(test("", "IF", var, rel, t2.c_str()));
          break;
        case 1:  // AND after a true level: the comparison decides
          p.add(test("", "IF", var, EQ, var, true)).add(test("", "AND", var, rel, t2.c_str()));
          break;
        default:  // OR after a false level: likewise
          p.add(test("", "IF", var, NE, var, true)).add(test("", "OR", var, rel, t2.c_str()));
      }
      p.log(holds, "T");
      ++checks;
    }
  }
  EXPECT_GT(checks, 150);
  expect_runs(p);
}

// Loop letters Z and A, and a loop whose FROM equals its TO: the body runs
// once, with a step of 1, -1 or a decimal one, and the variable keeps the
// value.
TEST_F(ScFam, LoopLetterZAndFromEqualToTo) {
  Prog p("LZ");
  p.add(calc("", "A", "0")).add(loop("Z", "1", "4")).add(calc("", "A", "A + Z")).add(line("", "END LOOP", {{0, "Z"}}));
  p.check("A", EQ, "10").check("Z", EQ, "4");
  p.add(calc("", "B", "0")).add(loop("A", "1", "3")).add(calc("", "B", "B + A")).add(line("", "END LOOP", {{0, "A"}}));
  p.check("B", EQ, "6").check("A", EQ, "3");
  for (const char* step : {"1", "-1"}) {
    p.add(calc("", "A", "0")).add(loop("Z", "7", "7", step)).add(calc("", "A", "A + 1"));
    p.add(line("", "END LOOP", {{0, "Z"}})).check("A", EQ, "1").check("Z", EQ, "7");
  }
  // FROM, TO and STEP of variables: 2.5 to 2.5 by 0.5 and by -0.25.
  p.add(calc("", "B", "2.5"));
  for (const char* step : {"0.5", "-0.25"}) {
    p.add(calc("", "C", step)).add(calc("", "A", "0")).add(loop("Z", "B", "B", "C"));
    p.add(calc("", "A", "A + Z")).add(line("", "END LOOP", {{0, "Z"}}));
    p.check("A", EQ, "2.5").check("Z", EQ, "2.5");
  }
  expect_runs(p);
}

// A CALC result of more than 15 significant digits keeps its 15 highest
// (A * A of -32628343.8 is 1064608819130998.44: 1064608819131000), and a
// field with decimals takes it by its own rules.
TEST_F(ScFam, CalcResultPastFifteenDigitsIntoAFieldWithDecimals) {
  Prog p("BIG");
  // P2 := 0 through the text of A (the display of P2 is wider than T20).
  p.add(calc("", "A", "0")).add(cnv_text("T80", "A")).add(cnv_text("P2", "T80"));
  p.add(calc("", "A", "-32628343.8")).add(calc("", "B", "A * A"));
  p.add(calc("", "C", "B / 1000")).check("C", EQ, "1064608819131");
  p.add(compute("P2", '+', "B", true)).check("P2", EQ, "1064608819131000.00");
  p.check_field("P2", EQ, "B").check_field("B", GT, "P2", false);
  p.add(compute("P2", '+', "0.01")).check_field("B", LT, "P2");
  p.add(calc("", "A", "B + 1")).check_field("A", EQ, "B");  // the 1 rounds away again
  expect_runs(p);
}

}  // namespace

// CANCEL ends the process with 4 whatever follows, its text shown through
// the runtime's error display (none for a blank text); WARNING and ERROR
// go on. A message of a TEMP field that "0LA" does not have is refused
// with the verb's message rather than left out.
TEST_F(ScFam, MessageStatementsCancelAndRefusals) {
  auto cancel = [](const char* text) { return line("", "CANCEL", {{0, text}}); };
  Prog p("MC1");
  p.add(line("", "WARNING", {{0, "careful"}})).add(line("", "ERROR", {{0, "wrong"}})).log(true);
  p.add(cancel("stopped here")).log(false);
  define(p.text + proc("MC2") + cancel("") + msg() + proc("MC3") + line("", "WARNING", {{0, "TEMP 9"}}) +
         line("", "CANCEL", {{0, "TEMPORARY TEXT"}}));
  proc_exec_log_clear();
  uint32_t acc = 0;
  EXPECT_EQ(run("MC1", &acc), 4);
  EXPECT_EQ(acc, 1u);
  int shown = 0;
  for (const ProcExecCall& c : proc_exec_log())
    if (std::string(c.what) == "rt_err") shown += c.text.find("stopped here") != std::string::npos;
  EXPECT_EQ(shown, 1);
  EXPECT_TRUE(errors("MC1").empty());
  proc_exec_log_clear();
  EXPECT_EQ(run("MC2", &acc), 4);
  EXPECT_EQ(acc, 0u);
  for (const ProcExecCall& c : proc_exec_log()) EXPECT_STRNE(c.what, "rt_err");
  expect_refused("MC3", {101830, 101080});
}
