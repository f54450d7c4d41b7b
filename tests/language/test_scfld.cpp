// SET, APPEND, STORE/RESTORE and the date statements compiled from
// statement text and run: SET over every pair of data type groups (alpha,
// date, binary, fixed and variable packed, logic), the range edges through
// the compiler, and each compile error with its number.
#include "language/scfam_fixture.h"
#include "support/syserr.h"

namespace {

using namespace scfamtest;
using namespace stmttext;

struct ScFld : ScFam {
  void more_elements(std::vector<fx::Rec>* els) override {
    int n = 0;
    auto el = [&](std::string name, int type, int len, int digits, int decimals, const char* sign = "1",
                  const char* mask = "") {
      ++n;
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "2026-01-02T00:%02d:%02d", n / 60, n % 60);
      fx::Rec r = fx::rec("ELEMENT", {{"area", std::to_string(3000600 + n)}, {"work", "1"}, {"name", name}, {"kind", "1"},
                                      {"ident_stamp", stamp}, {"number", std::to_string(900 + n)},
                                      {"length", std::to_string(len)}, {"occurs", "1"}, {"type", std::to_string(type)},
                                      {"sign", sign}, {"digits", std::to_string(digits)},
                                      {"decimals", std::to_string(decimals)}, {"key_kind", "255"}});
      rec::view<DElem>(r.data()).mask.set(mask);
      els->push_back(r);
    };
    el("BS1", 5, 1, 3, 0);
    el("BU1", 5, 1, 3, 0, "0");
    el("BS2", 5, 2, 5, 0);
    el("BU4", 5, 4, 10, 0, "0");
    el("BD4", 5, 4, 7, 2);           // signed, 2 decimals
    el("PF5", 8, 5, 7, 2);           // fixed packed, 2 decimals
    el("PF2", 8, 2, 3, 0);           // fixed packed, 3 digits
    el("BN", 5, 2, 5, 0);            // null value -1
    rec::view<DElem>(els->back().data()).null_value.set("-1");
    el("TM", 1, 3, 0, 0, "1", "###");  // digits only
    el("BX", 5, 4, 2, 0);              // two digits in a word
    el("LG", 11, 1, 0, 0);
    el("L2", 11, 1, 0, 0);
    el("DT8", 4, 8, 8, 5, "0", "08070605");            // CCYYMMDD text
    el("DB8", 7, 8, 8, 1, "0", "0807060504030201");    // binary, every unit
    el("DY6", 4, 6, 7, 5, "0", "070605");              // YYMMDD text
    el("DHM", 4, 4, 4, 3, "0", "0403");                // hours and minutes
    el("DMD", 4, 4, 6, 5, "0", "0605");                // month and day
    el("TEMP 1", 1, 10, 0, 0);                         // a temporary field
    el("Y", 8, 5, 7, 0);                               // fixed packed: no occurrence index
    // Names that differ in their last character only.
    el("CUSTOMER BALANCE DUE 1", 8, 5, 7, 2);
    el("CUSTOMER BALANCE DUE 2", 1, 4, 0, 0);
    // A file of two 4-character fields, its record area 3000700.
    for (int i = 0; i < 2; ++i) {
      fx::Rec r = fx::rec("ELEMENT", {{"area", "3000700"}, {"work", "0"}, {"name", i ? "W2" : "W1"}, {"kind", "1"},
                                      {"file", "WF"}, {"offset", std::to_string(4 * i)}, {"number", std::to_string(950 + i)},
                                      {"length", "4"}, {"occurs", "1"}, {"type", "1"}, {"key_kind", "255"},
                                      {"ident_stamp", "2026-01-03T00:00:0" + std::to_string(i)}});
      els->push_back(r);
    }
    ASSERT_GE(fx::write("FILE", "0LA", "00", {fx::rec("FILE", {{"name", "WF"}, {"rec_len", "8"}, {"area", "3000700"}})}), 0);
  }
  static std::string set(const char* t, const char* s, bool field = true) {
    return line("", "SET", {{0, "---"}, {4, t}, {34, field ? "---" : ""}, {38, s}});
  }
  static std::string date_stmt(const char* verb, const char* a, const char* b, char unit, bool b_field = true) {
    return line("", verb, {{0, "---"}, {4, a}, {31, std::string(1, unit)}, {34, b_field ? "---" : ""}, {38, b}});
  }
};

// Every pair of type groups: a value set into the source from a constant,
// moved by SET and compared with what the target must hold.
TEST_F(ScFld, SetOverEveryTypePair) {
  Prog p("S1");
  // Sources.
  p.add(set("T20", "42", false)).add(set("BS2", "-42", false)).add(set("PF5", "42.75", false));
  p.add(calc("", "A", "-7.5")).add(set("LG", "1", false)).add(set("DT8", "20240115", false));
  // Into alpha.
  p.add(set("T4", "T20")).check("T4", EQ, "42");
  p.add(set("T80", "ABCDEFGHIJKLMNOPQRSTUV", false)).add(set("T4", "T80")).check("T4", EQ, "ABCD");  // cut
  p.add(set("T80", "T4")).check("T80", EQ, "ABCD");  // padded with blanks
  p.add(set("T20", "BS2")).check("T20", EQ, "42-");  // the sign after the digits
  p.add(set("T20", "PF5")).check("T20", EQ, "42.75");
  p.add(set("T20", "A")).check("T20", EQ, "-7.5");
  p.add(set("T20", "LG")).check("T20", EQ, "Y");
  p.add(set("T20", "DT8")).check("T20", EQ, "20240115--------");
  // Into binary (a 2-byte signed field).
  p.add(set("T20", "123", false)).add(set("BS2", "T20")).check("BS2", EQ, "123");
  p.add(set("BS2", "PF5")).check("BS2", EQ, "43");  // 42.75 rounds
  p.add(set("BS2", "A")).check("BS2", EQ, "-8");    // -7.5 half away from zero
  p.add(set("BS2", "LG")).check("BS2", EQ, "1");
  p.add(set("BU4", "DT8")).check("BU4", EQ, "20240115");
  p.add(set("BS1", "BS2")).check("BS1", EQ, "1");
  // Into fixed packed (2 decimals).
  p.add(set("T20", "12.5", false)).add(set("PF5", "T20")).check("PF5", EQ, "12.5");
  p.add(set("BS2", "-300", false)).add(set("PF5", "BS2")).check("PF5", EQ, "-300");
  p.add(set("PF5", "A")).check("PF5", EQ, "-7.5");
  p.add(set("PF2", "PF5")).check("PF2", EQ, "-8");
  p.add(set("PF5", "LG")).check("PF5", EQ, "1");
  p.add(set("PF5", "DT8")).log(false, "T");  // 8 digits do not fit 7: 300540 ends the run
  expect_runs(p, 300540);
}

TEST_F(ScFld, SetIntoVariablePackedLogicAndDates) {
  Prog p("S2");
  p.add(set("T20", "-3.25", false)).add(set("A", "T20")).check("A", EQ, "-3.25");
  p.add(set("BD4", "12.34", false)).add(set("B", "BD4")).check("B", EQ, "12.34");
  p.add(set("PF5", "99.99", false)).add(set("C", "PF5")).check("C", EQ, "99.99");
  p.add(set("D", "C")).check("D", EQ, "99.99");
  p.add(set("LG", "1", false)).add(set("E", "LG")).check("E", EQ, "1");
  p.add(set("DT8", "19991231", false)).add(set("F", "DT8")).check("F", EQ, "19991231");
  // Logic targets.
  p.add(set("LG", "T20")).check("LG", EQ, "1");
  p.add(set("BS2", "0", false)).add(set("LG", "BS2")).check("LG", EQ, "0");
  p.add(set("LG", "PF5")).check("LG", EQ, "1");
  p.add(calc("", "G", "0 / 7")).add(set("LG", "G")).check("LG", EQ, "0");  // a variable 0 at any scale
  p.add(set("LG", "DT8")).check("LG", EQ, "1");
  p.add(set("L2", "LG")).check("L2", EQ, "1");
  // Date targets: from alpha (universal text), numbers, logic, dates.
  p.add(set("T20", "20000229", false)).add(set("DT8", "T20")).check("DT8", EQ, "20000229");
  p.add(calc("", "A", "20231105")).add(set("DT8", "A")).check("DT8", EQ, "20231105");
  p.add(set("BU4", "19991231", false)).add(set("DT8", "BU4")).check("DT8", EQ, "19991231");
  p.add(set("L2", "0", false)).add(set("DB8", "L2")).add(set("LG", "DB8")).check("LG", EQ, "0");
  p.add(set("DT8", "A")).log(true);
  // (Dates shown as universal texts: two digits a unit from the century,
  // "--" for a unit the date does not have.)
  p.add(set("DB8", "DT8")).add(set("DY6", "DB8")).add(set("T20", "DY6")).check("T20", EQ, "--231105--------");
  p.add(set("DMD", "DY6")).add(set("T20", "DMD")).check("T20", EQ, "----1105--------");
  // No unit in common: the target stays as it was.
  p.add(set("T20", "--------1230", false)).add(set("DHM", "T20")).add(set("DHM", "DMD"));
  p.add(set("T20", "DHM")).check("T20", EQ, "--------1230----");
  expect_runs(p);
}

// The Part's edges through the compiler: -128 into a signed byte stops the
// run with 300540; 127 and -127 are stored; 4,294,967,295 from packed into
// an unsigned word, and one more fails.
TEST_F(ScFld, RangeEdgesThroughTheCompiler) {
  Prog p("S3");
  p.add(calc("", "A", "127")).add(set("BS1", "A")).check("BS1", EQ, "127");
  p.add(calc("", "A", "-127")).add(set("BS1", "A")).check("BS1", EQ, "-127");
  // (All bits set is the unsigned word's null value: no constant spells it.)
  p.add(calc("", "A", "4294967295")).add(set("BU4", "A")).check("BU4", GT, "4294967294");
  p.add(set("T20", "BU4")).check("T20", EQ, "4294967295");  // shown unsigned
  p.add(calc("", "A", "-128")).add(set("BS1", "A")).log(false);
  // One more than the unsigned word holds; an alpha text too long for a
  // fixed packed field (UNXPND refuses it).
  expect_runs(p, 300540,
              proc("S4") + calc("", "A", "4294967296") + set("BU4", "A") + proc("S5") + set("T20", "123456", false) +
                  set("PF2", "T20"));
  EXPECT_EQ(run("S4"), 300540);
  EXPECT_EQ(run("S5"), 300540);
}

// Constants are kept by their text and the whole form they are read in:
// one element buffer whose form changes between constants, a text that
// keeps its type or not, a constant of no form at two lengths. Each
// stored value against its packed or text spelling.
namespace kept {
std::vector<std::string> got;
int probe(ScCtx* sc, DStmt*) {
  CElem c;
  auto form = [&](uint8_t type, uint16_t len, uint8_t digits, uint8_t decimals) {
    std::memset(static_cast<void*>(&c), 0, sizeof c);
    if (!type) return;
    c.e.name.set("KEPT");
    c.e.type = type;
    c.e.length = len;
    c.e.occurs = 1;
    c.e.digits = digits;
    c.e.decimals = decimals;
    c.e.sign = '1';
    c.e.mask.set("");
  };
  auto put = [&](const char* text, bool keep_type) {
    if (!sc_cmpl_cnst(sc, text, int(std::strlen(text)), &c, keep_type)) return got.push_back("refused");
    const uint8_t* v = MADDR(sc_pc(sc)->em->cnst.get(), c.ira);
    got.push_back(std::to_string(c.e.type) + ":" + std::string(reinterpret_cast<const char*>(v), c.e.length));
  };
  for (int decimals : {2, 0, 2}) {
    form(8, 5, 7, uint8_t(decimals));
    put("125", false);
  }
  form(1, 6, 0, 0);
  put("AB", true);
  form(1, 6, 0, 0);
  put("AB", false);
  for (const char* t : {"AB", "AB "}) {
    form(0, 0, 0, 0);
    put(t, false);
  }
  return 1;
}
}  // namespace kept

TEST_F(ScFld, ConstantsAreKeptByTheirWholeForm) {
  define(proc("K1") + line("", "MESSAGE", {{0, "m"}}));
  ScCmplFn was = sc_set_cmpl_fn(45, kept::probe);
  kept::got.clear();
  run("K1");
  sc_set_cmpl_fn(45, was);
  using namespace std::string_literals;
  const std::vector<std::string> want = {
      "8:"s + "\x00\x00\x12\x50\x0C"s, "8:"s + "\x00\x00\x00\x12\x5C"s, "8:"s + "\x00\x00\x12\x50\x0C"s,
      "1:AB    ", "1:AB", "1:AB", "1:AB "};
  EXPECT_EQ(kept::got, want);
}

// Fields whose names differ in their last character are two fields.
TEST_F(ScFld, OperandsOfNamesThatDifferAtTheEnd) {
  Prog p("K2");
  p.add(set("CUSTOMER BALANCE DUE 1", "12.5", false)).add(set("CUSTOMER BALANCE DUE 2", "AB", false));
  p.check("CUSTOMER BALANCE DUE 1", EQ, "12.50").check("CUSTOMER BALANCE DUE 2", EQ, "AB");
  p.add(set("T20", "CUSTOMER BALANCE DUE 1")).check("T20", EQ, "12.50");
  expect_runs(p);
}

// A number source at its null value gives the target the target's null
// value (blanks, a number's own null value) and converts nothing.
TEST_F(ScFld, NullSourceGivesTheTargetsNull) {
  Prog p("N1");
  p.add(set("BN", "-1", false)).add(set("T20", "XX", false)).add(set("T20", "BN"));
  p.add(line("", "APPEND", {{0, "---"}, {4, "T20"}, {31, "0"}, {38, "Q"}})).check("T20", EQ, "Q");
  p.add(set("BS2", "9", false)).add(set("BS2", "BN")).check("BS2", EQ, "0");
  p.add(set("BN", "5", false)).add(set("T20", "BN")).check("T20", EQ, "5");
  p.add(set("BS2", "BN")).check("BS2", EQ, "5");
  expect_runs(p);
}

// An alpha target's mask: a text it takes, and one it refuses (a run-time
// error of the process, the target as it was; not a system error).
TEST_F(ScFld, AlphaMaskRefusalIsARunTimeError) {
  Prog p("M1");
  p.add(set("TM", "123", false)).check("TM", EQ, "123");
  p.add(set("T4", "A1B", false)).add(set("TM", "T4")).log(false);
  // A number wider than its element's digits shown in an alpha field.
  expect_runs(p, 300540, proc("M2") + calc("", "A", "12345") + set("BX", "A") + set("T20", "BX"));
  EXPECT_EQ(run("M2"), 300540);
  EXPECT_TRUE(os_sys_err_log().empty());
}

TEST_F(ScFld, AppendStoreAndRestore) {
  Prog p("S6");
  p.add(set("T20", " ", false)).add(line("", "APPEND", {{0, "---"}, {4, "T20"}, {31, "1"}, {38, "ABC"}}));
  p.check("T20", EQ, " ABC");
  p.add(line("", "APPEND", {{0, "---"}, {4, "T20"}, {31, "0"}, {38, "DE"}})).check("T20", EQ, " ABCDE");
  p.add(line("", "STORE", {{0, "---"}, {4, "T20"}, {31, "FIELD"}}));
  p.add(set("T20", "XYZ", false)).check("T20", EQ, "XYZ");
  p.add(line("", "RESTORE", {{0, "---"}, {4, "T20"}, {31, "FIELD"}})).check("T20", EQ, " ABCDE");
  // A record compiles (its run needs the file's record image, which this
  // dictionary does not have).
  expect_runs(p, 2,
              proc("S7") + line("", "STORE", {{0, "---"}, {4, "WF"}, {31, "RECORD"}}) +
                  line("", "RESTORE", {{0, "---"}, {4, "WF"}, {31, "DEFAULT RECORD"}}));
  run("S7");
  EXPECT_TRUE(errors("S7").empty()) << testing::PrintToString(errors("S7"));
}

TEST_F(ScFld, DateStatementsRun) {
  Prog p("D1");
  p.add(set("DT8", "20240131", false)).add(date_stmt("DATE ADD", "DT8", "1", '6', false)).check("DT8", EQ, "20240229");
  p.add(calc("", "A", "-60")).add(date_stmt("DATE ADD", "DT8", "A", '5')).check("DT8", EQ, "20231231");
  p.add(line("", "SET DAY", {{0, "---"}, {4, "T20"}, {31, "L"}, {34, "---"}, {38, "DT8"}})).check("T20", EQ, "Sunday");
  p.add(line("", "SET MNTH", {{0, "---"}, {4, "T4"}, {31, "S"}, {34, "---"}, {38, "DT8"}})).check("T4", EQ, "Dec");
  p.add(line("", "SET DATE", {{0, "---"}, {4, "DT8"}})).check("DT8", GT, "20200101");
  expect_runs(p);
}

// SET TEMP: part of a temporary field into part of a field (FROM) and back
// (INTO); a count past either end copies what fits, blanks after it.
TEST_F(ScFld, SetTempMovesPartsOfATemporaryField) {
  auto tmp = [](const char* at, const char* n, const char* dir, const char* pos, const char* field = "T20") {
    return line("", "SET TEMP", {{0, "1"}, {9, at}, {17, n}, {21, dir}, {26, pos}, {34, "---"}, {38, field}});
  };
  Prog p("ST1");
  p.add(set("T20", "ABCDEFGHIJ", false)).add(set("TEMP 1", "0123456789", false));
  p.add(tmp("003", "004", "INTO", "002")).check("TEMP 1", EQ, "01BCDE6789");
  p.add(tmp("001", "003", "FROM", "018")).check("T20", EQ, "ABCDEFGHIJ       01B");
  p.add(tmp("009", "005", "FROM", "001")).check("T20", EQ, "89   FGHIJ       01B");
  p.add(tmp("001", "004", "INTO", "019")).check("TEMP 1", EQ, "1B  DE6789");
  // Positions and count from calculation variables: their current values.
  p.add(set("T20", "ABCDEFGHIJ", false)).add(calc("", "A", "3")).add(calc("", "B", "4"));
  p.add(tmp("A", "B", "INTO", "A")).check("TEMP 1", EQ, "1BCDEF6789");
  expect_runs(p, 2, proc("ST2") + tmp("001", "001", "FROM", "001", "BS2"));  // a binary field
  EXPECT_EQ(run("ST2"), 4);
  EXPECT_EQ(errors("ST2"), std::vector<uint32_t>{101730});
}

// Each compile error of the field and date statements, with its number.
TEST_F(ScFld, CompileErrors) {
  define(proc("E1") + line("", "APPEND", {{0, "---"}, {4, "BS2"}, {31, "1"}, {38, "X"}}) +    // not alpha
         date_stmt("DATE ADD", "T20", "1", '5', false) +                          // not a date
         date_stmt("DATE ADD", "DY6", "1", '3', false) +                          // a unit the date lacks
         date_stmt("DATE ADD", "DT8", "T20", '5') +                               // not a number
         date_stmt("DATE BTW", "DMD", "DMD", '5') +                               // days without a year
         date_stmt("DATE BTW", "DT8", "T20", '5') +                               // not a date
         line("", "SET DATE", {{0, "---"}, {4, "T20"}}) +                         // not a date
         line("", "SET DAY", {{0, "---"}, {4, "BS2"}, {31, "L"}, {34, "---"}, {38, "DT8"}}) +  // not alpha
         line("", "SET DAY", {{0, "---"}, {4, "T20"}, {31, "L"}, {34, "---"}, {38, "DHM"}}) +  // no day
         line("", "SET MNTH", {{0, "---"}, {4, "T20"}, {31, "L"}, {34, "---"}, {38, "BS2"}}) + // not a date
         set("T20", "NOSUCH") + line("", "STORE", {{0, "---"}, {4, "NOFILE"}, {31, "RECORD"}}) +
         line("", "RESTORE", {{0, "---"}, {4, "WF      W1"}, {31, "RECORD"}}) +
         line("", "RESTORE", {{0, "---"}, {4, "WF      X"}, {31, "RECORD"}}));   // one character past the file's name
  expect_refused("E1", {102440, 102440, 102440, 102230, 102380, 102410, 102930, 102410, 102380, 102380, 102230, 102410,
                        102390, 102080});
}

// An occurrence index is a binary or variable packed work field: a fixed
// packed one (Y, 5 bytes) does not compile, since the occurrence move
// reads 9 bytes of a variable one; the other forms compile and run.
TEST_F(ScFld, AFixedPackedIndexDoesNotCompile) {
  auto occ = [](const char* index) {
    return line("", "SET", {{0, "---"}, {4, "N3"}, {27, index}, {38, "7"}});
  };
  Prog p("O2");
  p.add(calc("", "A", "2")).add(occ("A")).add(set("Y", "2", false)).add(calc("", "AI", "3")).add(occ("AI"));
  p.add(line("", "SET", {{0, "---"}, {4, "BI"}, {34, "---"}, {38, "N3"}, {61, "A"}})).check("BI", EQ, "7");
  expect_runs(p, 2, proc("O1") + occ("Y"));
  expect_refused("O1", {102730});
}

// An occurrence given by number: the second and the last (3 of N3) are set
// and read, each apart from the first; one past the last is 102720, as a
// source and as a target.
TEST_F(ScFld, OccurrenceNumbersUpToTheLast) {
  auto set_occ = [](const char* occ, const char* v) {
    return line("", "SET", {{0, "---"}, {4, "N3"}, {27, occ}, {38, v}});
  };
  auto is = [](const char* occ, const char* v) {
    return line("", "IF", {{0, "---"}, {4, "N3"}, {27, occ}, {31, std::string(se_rel_code(EQ))}, {38, v}});
  };
  Prog p("O4");
  p.add(set_occ("1", "11")).add(set_occ("2", "22")).add(set_occ("3", "33"));
  p.add(is("1", "11")).log(true, "T").add(is("2", "22")).log(true, "T").add(is("3", "33")).log(true, "T");
  p.add(line("", "SET", {{0, "---"}, {4, "BI"}, {34, "---"}, {38, "N3"}, {61, "3"}})).check("BI", EQ, "33");
  expect_runs(p, 2,
              proc("O5") + set_occ("4", "44") + line("", "SET", {{0, "---"}, {4, "BI"}, {34, "---"}, {38, "N3"}, {61, "4"}}));
  expect_refused("O5", {102720, 102720});
}

// The errors no statement line spells (the editor refuses such lines):
// statements stored with their operand bytes changed.
TEST_F(ScFld, CompileErrorsOfStoredOperands) {
  std::string text = proc("E2") + set("T20", "T4") + line("", "STORE", {{0, "---"}, {4, "WF"}, {31, "RECORD"}}) +
                     line("", "RESTORE", {{0, "---"}, {4, "T20"}, {31, "FIELD"}}) +
                     date_stmt("DATE ADD", "DT8", "1", '5', false) + set("T20", "T4") +
                     line("", "SET TEMP", {{0, "1"}, {9, "001"}, {17, "001"}, {21, "FROM"}, {26, "001"}, {34, "---"}, {38, "T20"}});
  SeFileResult r;
  ASSERT_EQ(se_read_file("t.stmt", text, nullptr, &r), 0);
  ASSERT_EQ(r.stmts.size(), 6u);
  std::memset(r.stmts[0].ops.b + 4, ' ', 3);  // SET to a constant
  std::memset(r.stmts[1].ops.b + 4, ' ', 3);  // a record without its application
  r.stmts[2].ops.b[30] = 2;                   // RESTORE of another kind
  r.stmts[3].ops.b[60] = '9';                 // a unit past centuries
  std::memcpy(r.stmts[4].ops.b + 4, "ZZZ", 3);  // an application the compile does not have: no error
  std::memcpy(r.stmts[5].ops.b + 8, "UPTO", 4);  // SET TEMP neither FROM nor INTO
  std::vector<std::string> errs;
  ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
  define_procs(r.stmts);
  expect_refused("E2", {102360, 102270, 102960, 101200, 102460});
}

// File statements' option bytes stored at their last value and one past it:
// a failure mode of 3 and 4 (102630), a hold option of 2 and 3 (102670).
// (WF has no control area in this dictionary: past the options each
// statement stops at its file with the verb's own message.)
TEST_F(ScFld, FileOptionsAtTheirLastValueAndOnePast) {
  std::string stmts = line("", "WRITE", {{0, "0LA"}, {4, "WF"}, {29, "0"}}) +
                      line("", "READ", {{0, "0LA"}, {4, "WF"}, {19, "0"}, {29, "0"}});
  SeFileResult r;
  ASSERT_EQ(se_read_file("t.stmt",
                         proc("FO1") + msg() + "statements 30\n" + stmts + proc("FO2") + msg() + "statements 30\n" + stmts,
                         nullptr, &r),
            0);
  ASSERT_EQ(r.stmts.size(), 6u);
  for (int past = 0; past < 2; ++past) {
    DStmt* s = &r.stmts[size_t(1 + 3 * past)];
    s[0].ops.b[11] = uint8_t(3 + past);   // WRITE: the failure mode
    s[1].ops.b[11] = uint8_t(2 + past);   // READ: the hold option
  }
  std::vector<std::string> errs;
  ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
  define_procs(r.stmts);
  expect_refused("FO1", {101840, 101590});
  expect_refused("FO2", {102630, 102670});
}

// SET TOT in a Subroutine reads the report total (9 packed bytes) into
// each type of field.
TEST_F(ScFld, SetTot) {
  define(proc("TT") + line("", "SET TOT", {{0, "---"}, {4, "A"}, {34, "---"}, {38, "B"}}) +
         line("", "SET TOT", {{0, "---"}, {4, "T20"}, {34, "---"}, {38, "B"}}) +
         line("", "SET TOT", {{0, "---"}, {4, "BS2"}, {34, "---"}, {38, "B"}}) +
         line("", "SET TOT", {{0, "---"}, {4, "PF5"}, {34, "---"}, {38, "B"}}) +
         line("", "SET TOT", {{0, "---"}, {4, "LG"}, {34, "---"}, {38, "B"}}));
  // (It compiles as it first runs; with no report running it finds no
  // total to read, a system error of the report's, answered here.)
  SysErrCapture quiet(SysErrAnswer::Continue);
  run("TT");
  EXPECT_TRUE(errors("TT").empty()) << testing::PrintToString(errors("TT"));
}

}  // namespace
