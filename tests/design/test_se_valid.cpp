// Statement checking against a dictionary: files and keys, processes,
// fields and their types, literals, predefined fields, tokens; the token
// conversion both ways.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "design/se_dict_fixture.h"
#include "design/se_support.h"
#include "design/sefile.h"
#include "files/fm.h"
#include "process/pb.h"
#include "process/services.h"
#include "files/dictenc.h"
#include "support/dict_fixtures.h"
#include "support/syserr.h"

using namespace setest;

namespace {

std::string L(const char* tf, const char* verb, std::initializer_list<std::pair<int, const char*>> ops) {
  std::string l(80, ' ');
  l.replace(0, std::strlen(tf), tf);
  l.replace(6, std::strlen(verb), verb);
  int v = se_verb_code(verb);
  if (v >= 0) l.replace(15, 64, se_template(v));
  for (auto& [c, t] : ops) l.replace(size_t(15 + c), std::strlen(t), t);
  return l;
}

class SeValid : public ::testing::Test {
 protected:
  void SetUp() override {
    bi_init_com();
    fms_init();
    se_load_spellings(true);
    fix = new MemDict();
    dict = new SeDict("ABC", "01", true);
    val = new SeDictValidator(*dict);
  }
  void TearDown() override {
    delete val;
    delete dict;
    delete fix;
    fm_shutdown();
  }
  Parsed check(const std::string& l) { return parse(l, val); }
  MemDict* fix = nullptr;
  SeDict* dict = nullptr;
  SeDictValidator* val = nullptr;
};

TEST_F(SeValid, FilesAndKeys) {
  auto p = check(L("", "READ", {{0, "ABC"}, {4, "CUSTOMER"}, {19, "0"}, {29, "0"}, {42, "CUST NO"}}));
  EXPECT_EQ(p.ok, 1) << p.col;
  EXPECT_EQ(p.col, 0);
  p = check(L("", "READ", {{0, "ABC"}, {4, "CUSTOMER"}, {19, "0"}, {29, "0"}, {42, "NOT A KEY"}}));
  EXPECT_EQ(p.col, 58);
  p = check(L("", "READ", {{0, "ABC"}, {4, "CUSTOMER"}, {19, "0"}, {29, "0"}}));
  EXPECT_EQ(p.col, 58);   // a keyed file needs its key
  // A key on an organisation-1 file is refused at the key.
  p = check(L("", "READ", {{0, "ABC"}, {4, "PARAMS"}, {19, "0"}, {29, "0"}, {42, "CUST NO"}}));
  EXPECT_EQ(p.ok, 0);
  EXPECT_EQ(p.col, 58);
  // Organisation 2: no key is a warning at the key.
  p = check(L("", "READ", {{0, "ABC"}, {4, "LOG"}, {19, "0"}, {29, "0"}}));
  EXPECT_EQ(p.ok, 1);
  EXPECT_TRUE(p.st.warning);
  EXPECT_FALSE(p.st.file_warning);
  EXPECT_EQ(p.col, 58);
  // READNEXT the other way round: a key is the warning.
  EXPECT_FALSE(check(L("", "READNEXT", {{0, "ABC"}, {4, "LOG"}, {19, "0"}, {29, "0"}})).st.warning);
  p = check(L("", "READNEXT", {{0, "ABC"}, {4, "LOG"}, {19, "0"}, {29, "0"}, {42, "CUST NO"}}));
  EXPECT_EQ(p.ok, 1);
  EXPECT_TRUE(p.st.warning);
  EXPECT_EQ(p.col, 58);
  // BEG AT over a plain file takes a numeric or logic field.
  EXPECT_EQ(check(L("", "BEG AT", {{0, "ABC"}, {4, "LOG"}, {13, "IN"}, {16, "ABC"}, {20, "AMOUNT"}})).ok, 1);
  EXPECT_EQ(check(L("", "BEG AT", {{0, "ABC"}, {4, "CUSTOMER"}, {13, "IN"}, {16, "ABC"}, {20, "CODE"}})).ok, 1);
  p = check(L("", "BEG AT", {{0, "ABC"}, {4, "LOG"}, {13, "IN"}, {16, "ABC"}, {20, "CODE"}}));
  EXPECT_EQ(p.col, 36);
  EXPECT_EQ(p.st.why, "BEG AT needs a numeric or logic field for a plain file");
  // A missing FILE record: accepted with the file warning.
  p = check(L("", "OPEN", {{0, "ABC"}, {4, "NOSUCH"}, {21, "Y"}, {29, "0"}}));
  EXPECT_EQ(p.ok, 1);
  EXPECT_TRUE(p.st.file_warning);
  EXPECT_EQ(p.col, 20);
  EXPECT_EQ(se_warning_text(p.st), "WARNING - File not found");
  // An application without a dictionary: the application warning.
  p = check(L("", "OPEN", {{0, "XYZ"}, {4, "CUSTOMER"}, {21, "Y"}, {29, "0"}}));
  EXPECT_EQ(p.ok, 1);
  EXPECT_TRUE(p.st.warning);
  EXPECT_EQ(p.col, 16);
  EXPECT_EQ(se_warning_text(p.st), "WARNING - Application not found in application file");
}

TEST_F(SeValid, CopyNeedsASubroutine) {
  EXPECT_EQ(check(L("", "COPY", {{0, "ABC"}, {4, "CALC TAX"}})).ok, 1);
  auto p = check(L("", "COPY", {{0, "ABC"}, {4, "MAIN MENU"}}));
  EXPECT_EQ(p.ok, 0);
  EXPECT_EQ(p.col, 20);
  DProc d;
  EXPECT_EQ(pb_get_dproc("ABC", "CALC TAX", "01", 6, &d, kPbMemory), 1);
  EXPECT_EQ(d.proc_name.str(), "CALC TAX");
  EXPECT_EQ(pb_get_dproc("ABC", "CALC TAX", "01", 1, nullptr, kPbMemory), 0);
}

TEST_F(SeValid, FieldsTypesAndLiterals) {
  auto ifl = [](const char* f1, const char* rel, const char* a2, const char* f2) {
    return L("", "IF", {{0, "ABC"}, {4, f1}, {31, rel}, {34, a2}, {38, f2}});
  };
  EXPECT_EQ(check(ifl("AMOUNT", "GT", "", "100")).ok, 1);
  auto p = check(ifl("AMOUNT", "GT", "", "ABCD"));   // letters for a number
  EXPECT_EQ(p.ok, 0);
  EXPECT_EQ(p.col, 54);
  EXPECT_EQ(p.st.err_kind, kSeField);
  EXPECT_EQ(p.st.why, "value not valid for AMOUNT");
  // A date literal is its digits; as a mask shows it, it is refused and
  // the refusal says how it is written.
  EXPECT_EQ(check(ifl("ORDER DATE", "LT", "", "20000131")).ok, 1);
  p = check(ifl("ORDER DATE", "LT", "", "2000-01-31"));
  EXPECT_EQ(p.col, 54);
  EXPECT_EQ(p.st.why, "value not valid for ORDER DATE (a date is written as its digits, 2000-01-31 as 20000131)");
  EXPECT_EQ(check(ifl("AMOUNT", "EQ", "ABC", "LINES")).ok, 1);   // numeric types mix
  EXPECT_EQ(check(ifl("CUSTOMER NAME", "EQ", "ABC", "CODE")).ok, 1);   // and alpha with alpha
  p = check(ifl("AMOUNT", "EQ", "ABC", "CUSTOMER NAME"));
  EXPECT_EQ(p.col, 54);
  EXPECT_EQ(p.second, 20);
  p = check(ifl("NO SUCH FIELD", "EQ", "", "1"));
  EXPECT_EQ(p.col, 20);
  // A control character where the field's name begins: the refusal names it,
  // not the field it is no name of.
  std::string tab = ifl("AMOUNT", "GT", "", "100");
  tab[19] = '\t';
  p = check(tab);
  EXPECT_EQ(p.col, 20);
  EXPECT_EQ(se_refusal_text("f", 1, p.st, p.col, p.second),
            "f:1:20: control character 0x09: a statement line holds printable characters only");
  // An occurrence above the field's count; a literal with an occurrence.
  p = check(L("", "IF", {{0, "ABC"}, {4, "LINES"}, {27, "006"}, {31, "EQ"}, {38, "1"}}));
  EXPECT_EQ(p.col, 43);
  EXPECT_EQ(check(L("", "IF", {{0, "ABC"}, {4, "LINES"}, {27, "005"}, {31, "EQ"}, {38, "1"}})).ok, 1);
  p = check(L("", "IF", {{0, "ABC"}, {4, "LINES"}, {31, "EQ"}, {38, "1"}, {61, "002"}}));
  EXPECT_EQ(p.col, 77);
  // Types per verb.
  EXPECT_EQ(check(L("", "SET DATE", {{0, "ABC"}, {4, "AMOUNT"}})).col, 20);
  EXPECT_EQ(check(L("", "SET DATE", {{0, "ABC"}, {4, "ORDER DATE"}})).ok, 1);
  EXPECT_EQ(check(L("", "RETURN", {{0, "ABC"}, {4, "PAID"}})).ok, 1);
  EXPECT_EQ(check(L("", "RETURN", {{0, "ABC"}, {4, "AMOUNT"}})).col, 20);
  EXPECT_EQ(check(L("", "CNV BIN", {{0, "ABC"}, {4, "CODE"}, {31, "="}, {34, "ABC"}, {38, "AMOUNT"}})).ok, 1);
  p = check(L("", "CNV BIN", {{0, "ABC"}, {4, "CODE"}, {31, "="}, {34, "ABC"}, {38, "CUSTOMER NAME"}}));
  EXPECT_EQ(p.col, 54);
  EXPECT_EQ(p.second, 20);
  EXPECT_EQ(check(L("", "CNV BIN", {{0, "ABC"}, {4, "CUSTOMER NAME"}, {31, "="}, {34, "ABC"}, {38, "AMOUNT"}})).col,
            20);
  // The alpha side of CNV BIN at four characters and one past, either side.
  fix->elem("ABC", "ALPHA4", 1, 4, 1);
  fix->elem("ABC", "ALPHA5", 1, 5, 1);
  fix->flush();
  EXPECT_EQ(check(L("", "CNV BIN", {{0, "ABC"}, {4, "ALPHA4"}, {31, "="}, {34, "ABC"}, {38, "AMOUNT"}})).ok, 1);
  EXPECT_EQ(check(L("", "CNV BIN", {{0, "ABC"}, {4, "ALPHA5"}, {31, "="}, {34, "ABC"}, {38, "AMOUNT"}})).col, 20);
  EXPECT_EQ(check(L("", "CNV BIN", {{0, "ABC"}, {4, "AMOUNT"}, {31, "="}, {34, "ABC"}, {38, "ALPHA4"}})).ok, 1);
  EXPECT_EQ(check(L("", "CNV BIN", {{0, "ABC"}, {4, "AMOUNT"}, {31, "="}, {34, "ABC"}, {38, "ALPHA5"}})).col, 54);
  // STORE takes a name that is no field unless the area is a field.
  EXPECT_EQ(check(L("", "STORE", {{0, "ABC"}, {4, "WORK AREA"}, {31, "RECORD"}})).ok, 1);
  EXPECT_EQ(check(L("", "STORE", {{0, "ABC"}, {4, "WORK AREA"}, {31, "FIELD"}})).col, 20);
  // PASS looks its name up only for a FIELD.
  EXPECT_EQ(check(L("", "PASS", {{0, "ABC"}, {4, "WHATEVER"}, {31, "FILE"}, {55, "N"}})).ok, 1);
  EXPECT_EQ(check(L("", "PASS", {{0, "ABC"}, {4, "WHATEVER"}, {31, "FIELD"}, {55, "N"}})).col, 20);
}

// More fields and literals than the checks' tables first make room for: each
// verdict is the field's own, read again from what was remembered. A text
// of five digits fits a number, not four characters of alpha; "A" and three
// digits the other way round.
TEST_F(SeValid, ManyFieldsAndLiteralsKeepTheirOwnVerdicts) {
  constexpr int kFields = 100, kLiterals = 25;   // 2,500 literals
  std::vector<std::string> names;
  for (int i = 0; i < kFields; ++i) {
    names.push_back("F" + std::to_string(1000 + i));
    fix->elem("ABC", names.back().c_str(), i % 2 ? 1 : 5, 4, 1);
  }
  fix->flush();
  auto literal = [](int i, int k) {
    return k % 2 ? "A" + std::to_string(100 + (i * kLiterals + k) % 875) : std::to_string(10000 + i * kLiterals + k);
  };
  for (int pass = 0; pass < 2; ++pass)
    for (int n = 0; n < kFields * kLiterals; ++n) {
      int at = pass ? kFields * kLiterals - 1 - n : n, i = at / kLiterals, k = at % kLiterals;
      std::string lit = literal(i, k);
      bool numeric = i % 2 == 0, digits = k % 2 == 0;
      auto p = check(L("", "IF", {{0, "ABC"}, {4, names[size_t(i)].c_str()}, {31, "EQ"}, {38, lit.c_str()}}));
      ASSERT_EQ(p.ok, numeric == digits ? 1 : 0) << names[size_t(i)] << " " << lit << " pass " << pass;
      if (!p.ok) {
        ASSERT_EQ(p.st.why, "value not valid for " + names[size_t(i)]);
      }
    }
  EXPECT_EQ(check(L("", "IF", {{0, "ABC"}, {4, "NO SUCH FIELD"}, {31, "EQ"}, {38, "1"}})).col, 20);
}

TEST_F(SeValid, PredefinedFieldsOf0LA) {
  // Found only in "0LA": stored as "0LA" and shown "---".
  auto p = check(L("", "IF", {{0, "ABC"}, {4, "ERRORS"}, {31, "GT"}, {38, "0"}}));
  ASSERT_EQ(p.ok, 1) << p.col;
  EXPECT_TRUE(p.st.redraw);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p.stmt.ops.data()) + 4, 3), "0LA");
  EXPECT_EQ(text(p.stmt).substr(15, 3), "---");
  // SET of "0LA" "MODE" is refused.
  p = check(L("", "SET", {{0, "---"}, {4, "MODE"}, {31, "="}, {38, "1"}}));
  EXPECT_EQ(p.col, 20);
  EXPECT_EQ(check(L("", "SET", {{0, "---"}, {4, "OPTION"}, {31, "="}, {38, "1"}})).ok, 1);
  EXPECT_TRUE(val->is_pdf("0LA", "OPTION                "));
  EXPECT_FALSE(val->is_pdf("ABC", "AMOUNT                "));
  // A predefined first field does not excuse an invalid occurrence.
  p = check(L("", "IF", {{0, "---"}, {4, "OPTION"}, {27, "A1"}, {31, "EQ"}, {38, "1"}}));
  EXPECT_EQ(p.col, 43);
}

TEST_F(SeValid, TokensInChecksAndBothWays) {
  auto ifl = [](const char* lit) { return L("", "IF", {{0, "ABC"}, {4, "COLOR"}, {31, "EQ"}, {38, lit}}); };
  EXPECT_EQ(check(ifl("BLUE")).ok, 1);
  EXPECT_EQ(check(ifl("PURPLE")).col, 54);
  EXPECT_EQ(check(ifl("#99")).ok, 1);   // a kept number
  // Kept numbers at the largest and one past; "#" alone is none.
  EXPECT_EQ(check(ifl("#2147483647")).ok, 1);
  EXPECT_EQ(check(ifl("#2147483648")).col, 54);
  EXPECT_EQ(check(ifl("#")).col, 54);
  // Name to number: zero-filled over n + 1 = 4 places.
  Parsed p = check(ifl("BLUE"));
  ASSERT_EQ(cnv_token(p.stmt, "01", 2, 1, dict), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p.stmt.ops.data()) + 37, 22), "0017                  ");
  // Number to name.
  ASSERT_EQ(cnv_token(p.stmt, "01", 1, 1, dict), 1);
  EXPECT_EQ(text(p.stmt).substr(53, 22), "BLUE                  ");
  // A number without its TOKEN record keeps it, and reads back.
  p = check(ifl("0099"));
  ASSERT_EQ(cnv_token(p.stmt, "01", 1, 1, dict), 1);
  std::string t = text(p.stmt);
  EXPECT_EQ(t.substr(53, 4), "#99 ");
  Parsed back = check(t);
  ASSERT_EQ(back.ok, 1);
  ASSERT_EQ(cnv_token(back.stmt, "01", 2, 1, dict), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back.stmt.ops.data()) + 37, 4), "0099");
  // "-1" is no token; a blank literal is stored as "-1".
  p = check(ifl("-1"));
  ASSERT_EQ(cnv_token(p.stmt, "01", 1, 1, dict), 1);
  EXPECT_EQ(text(p.stmt).substr(53, 22), std::string(22, ' '));
  ASSERT_EQ(cnv_token(p.stmt, "01", 2, 1, dict), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p.stmt.ops.data()) + 37, 2), "-1");
  // Negative and too-long numbers are refused.
  p = check(ifl("WIDE"));
  EXPECT_EQ(cnv_token(p.stmt, "01", 2, 1, dict), 0);
  p = check(ifl("MINUS"));
  EXPECT_EQ(cnv_token(p.stmt, "01", 2, 1, dict), 0);
  p = parse(ifl("#9999"));   // four places: the largest that fits, and one past
  ASSERT_EQ(cnv_token(p.stmt, "01", 2, 1, dict), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p.stmt.ops.data()) + 37, 4), "9999");
  p = parse(ifl("#12345"));
  EXPECT_EQ(cnv_token(p.stmt, "01", 2, 1, dict), 0);
  // Stored numbers read back: one after a blank, and one past the largest
  // number left as it is stored.
  p = parse(ifl("#1"));
  std::memcpy(p.stmt.ops.data() + 37, " 17", 3);
  ASSERT_EQ(cnv_token(p.stmt, "01", 1, 1, dict), 1);
  EXPECT_EQ(text(p.stmt).substr(53, 5), "BLUE ");
  std::memcpy(p.stmt.ops.data() + 37, "21474836470", 11);
  ASSERT_EQ(cnv_token(p.stmt, "01", 1, 1, dict), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p.stmt.ops.data()) + 37, 12), "21474836470 ");
  p = parse(ifl("#-5"));
  EXPECT_EQ(cnv_token(p.stmt, "01", 2, 1, dict), 0);
  // Other verbs and field operands are left alone.
  p = check(L("", "IF", {{0, "ABC"}, {4, "COLOR"}, {31, "EQ"}, {34, "ABC"}, {38, "AMOUNT"}}));
  DStmt before = p.stmt;
  EXPECT_EQ(cnv_token(p.stmt, "01", 2, 1, dict), 1);
  EXPECT_EQ(0, std::memcmp(&before, &p.stmt, sizeof before));
}

// The same checks on dictionary files of a data directory, written by the
// dictionary fixtures: the ELEMENT file through ii_open_delem_fi, PROCESS
// through pb_get_dproc; the services table's slots.
TEST(SeValidDisk, ReadsTheDataDirectory) {
  char tmpl[] = "/tmp/quvo-sevalid-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  setenv("QUVOPATH", dir.c_str(), 1);
  unsetenv("QUVO_PATH_DATA");
  bi_init_com();
  fms_init();
  se_load_spellings(true);
  auto elem = [](const char* name, int type, int len, int second, const char* extra_name = nullptr,
                 const char* extra = nullptr) {
    fx::Values v = {{"name", name},       {"type", std::to_string(type)},
                    {"length", std::to_string(len)}, {"occurs", "1"},
                    {"key_kind", "255"},  {"ident_stamp", "2026-01-01T00:00:" + std::to_string(10 + second)}};
    if (extra_name) v.push_back({extra_name, extra});
    return fx::rec("ELEMENT", v);
  };
  auto color = elem("COLOR", 5, 4, 3, "token_mark", "10");
  std::string err;
  ASSERT_TRUE(dict_encode_named(*dict_rec_find("ELEMENT"), "domain", "COLOR", color.data(), &err)) << err;
  color[591] = 3;   // n: the stored number takes n + 1 = 4 places
  ASSERT_EQ(fx::write("ELEMENT", "ABC", "01", {elem("AMOUNT", 5, 4, 1), elem("CUSTOMER NAME", 1, 30, 2), color}), 3);
  ASSERT_EQ(fx::write("ELEMENT", "0LA", "00", {elem("MODE", 5, 1, 4)}), 1);
  ASSERT_EQ(fx::write("PROCESS", "ABC", "01", {fx::process(6, "CALC TAX"), fx::process(1, "MAIN MENU")}), 2);
  ASSERT_EQ(fx::write("TOKEN", "ABC", "01",
                      {fx::rec("TOKEN", {{"cls", "0"}, {"group", "COLOR"}, {"number", "2"}, {"text", "GREEN"}})}),
            1);
  {
    SeDict dict("ABC", "01");
    SeDictValidator val(dict);
    auto p = parse(L("", "IF", {{0, "ABC"}, {4, "AMOUNT"}, {31, "GT"}, {38, "ABCD"}}), &val);
    EXPECT_EQ(p.col, 54);
    EXPECT_EQ(parse(L("", "IF", {{0, "ABC"}, {4, "AMOUNT"}, {31, "GT"}, {38, "12"}}), &val).ok, 1);
    p = parse(L("", "COPY", {{0, "ABC"}, {4, "MAIN MENU"}}), &val);
    EXPECT_EQ(p.col, 20);
    EXPECT_EQ(parse(L("", "COPY", {{0, "ABC"}, {4, "CALC TAX"}}), &val).ok, 1);
    EXPECT_EQ(parse(L("", "SET", {{0, "---"}, {4, "MODE"}, {31, "="}, {38, "1"}}), &val).col, 20);
    // The token conversion opens the application's files itself.
    p = parse(L("", "IF", {{0, "ABC"}, {4, "COLOR"}, {31, "EQ"}, {38, "GREEN"}}), &val);
    ASSERT_EQ(p.ok, 1);
    se_register();
    com.cur_ver.set("01");
    DStmt stored;
    EXPECT_EQ(proc_svc.cnv_token(&stored, &p.stmt, 2), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(stored.ops.data()) + 37, 4), "0002");
    char work[kSeWorkLen];
    EXPECT_EQ(proc_svc.se_gen_stmt(work, &stored, 0, 0), 1);
    EXPECT_EQ(std::string(work + 53, 4), "0002");
    EXPECT_EQ(std::string(work + 80, kSeWorkLen - 80), std::string(kSeWorkLen - 80, ' '));
    DStmt shown;
    EXPECT_EQ(proc_svc.cnv_token(&shown, &stored, 1), 1);
    EXPECT_EQ(proc_svc.se_gen_stmt(work, &shown, 0, 0), 1);
    EXPECT_EQ(std::string(work + 53, 6), "GREEN ");
    proc_services_reset();
    // Stored and listed with no dictionary given: one opened for the run
    // converts every statement of it, each as cnv_token alone would.
    DStmt amount = parse(L("", "IF", {{0, "ABC"}, {4, "AMOUNT"}, {31, "GT"}, {38, "12"}}), &val).stmt;
    std::vector<DStmt> run = {p.stmt, amount, p.stmt};
    for (size_t i = 0; i < run.size(); ++i) run[i].seq = uint32_t(100 * (i + 1));
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("ABC", "01", nullptr, run, &errs), 3) << (errs.empty() ? "" : errs[0]);
    std::vector<DStmt> back;
    ASSERT_EQ(se_list_dict("ABC", "01", nullptr, &back), 1);
    ASSERT_EQ(back.size(), 3u);
    for (size_t i : {0, 2}) EXPECT_EQ(std::string(reinterpret_cast<char*>(back[i].ops.data()) + 37, 6), "GREEN ") << i;
    EXPECT_EQ(0, std::memcmp(&back[1], &run[1], sizeof amount));
  }
  fm_shutdown();
  (void)!std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
