// Statement blocks: lines to records with the block's key, sequences and no
// stamps, records back to the same lines; block headers; verb templates.
#include <gtest/gtest.h>

#include "design/se_support.h"
#include "design/sefile.h"

using namespace setest;

namespace {

TEST(SeFile, BlockReadsAndWritesBack) {
  se_load_spellings(true);
  std::vector<std::string> lines = corpus();
  lines.resize(60);
  SeBlockKey key;
  key.proc_type = 2;
  key.proc_name = "ORDER ENTRY";
  key.frame_class = 1;
  key.frame_no = 3;
  key.image_no = 2;
  key.event_point = 41;
  std::vector<DStmt> recs;
  std::vector<std::string> errors, warnings;
  ASSERT_EQ(se_read_block(key, lines, "order.proc", 10, nullptr, &recs, &errors, &warnings), 0);
  ASSERT_EQ(recs.size(), lines.size());
  for (size_t i = 0; i < recs.size(); ++i) {
    EXPECT_EQ(recs[i].seq, 100 * (i + 1));
    EXPECT_EQ(recs[i].event_point, 41);
    EXPECT_EQ(recs[i].proc_name.str(), "ORDER ENTRY");
    EXPECT_EQ(recs[i].frame_no, 3u);
    EXPECT_EQ(recs[i].added[0], 0xFF);
    EXPECT_EQ(recs[i].changed[7], 0xFF);
    EXPECT_TRUE(recs[i].added_by.blank());
    SeBlockKey k = se_block_key(recs[i]);
    EXPECT_EQ(se_block_header(k), "statements 41 frame 1 3 image 2");
  }
  EXPECT_EQ(se_write_block(recs), lines);
  // A refused line is reported at file:line:column and left out.
  lines[3] = "TX    IF";
  recs.clear();
  EXPECT_EQ(se_read_block(key, lines, "order.proc", 10, nullptr, &recs, &errors, &warnings), 1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "order.proc:13:1: T/F column");
  EXPECT_EQ(recs.size(), lines.size() - 1);
  EXPECT_EQ(recs.back().seq, 100 * (lines.size() - 1));
}

TEST(SeFile, Headers) {
  SeBlockKey k;
  int col = 0;
  ASSERT_TRUE(se_parse_block_header("statements 62 child 5 7", &k, &col));
  EXPECT_EQ(k.event_point, 62);
  EXPECT_EQ(k.child_disc, 5);
  EXPECT_EQ(k.child_no, 7u);
  EXPECT_EQ(se_block_header(k), "statements 62 child 5 7");
  EXPECT_FALSE(se_parse_block_header("statements 62 chile 5 7", &k, &col));
  EXPECT_EQ(col, 15);
  EXPECT_FALSE(se_parse_block_header("statements x", &k, &col));
  EXPECT_EQ(col, 12);
  EXPECT_FALSE(se_parse_block_header("statements 1 frame 1", &k, &col));
  EXPECT_EQ(col, 21);
}

TEST(SeFile, VerbTemplate) {
  se_load_spellings(true);
  auto t = se_verb_template(kVerbRead);
  ASSERT_EQ(t.size(), 7u);
  EXPECT_EQ(t[0], "      READ                   HOLD      FAIL      KEY IS");
  EXPECT_EQ(t[1], "               aaa bbbbbbbb       c         d            eeeeeeeeeeeeeeeeeeeeee");
  EXPECT_EQ(t[2], "a column 16 width 3 app: application, required");
  EXPECT_EQ(t[5], "d column 45 width 1 fail: digit 0-3 (on failure: 0 nothing, 1 a warning, 2 an error, 3 cancel), required");
  EXPECT_EQ(t[6], "e column 58 width 22 key: field");
  // Filling the marked columns gives a line that reads.
  std::string l = t[0];
  l.resize(80, ' ');
  l.replace(15, 3, "ABC");
  l.replace(19, 8, "CUSTOMER");
  l.replace(34, 1, "0");
  l.replace(44, 1, "0");
  EXPECT_EQ(parse(l).ok, 1);
}

}  // namespace

#include "design/se_dict_fixture.h"
#include "files/fm.h"

namespace {

// A statement file read, checked, stored in an application's STMT file and
// listed back: the same text (tokens stored as numbers, shown as names).
TEST(SeFile, StatementFileThroughTheDictionaryAndBack) {
  bi_init_com();
  fms_init();
  se_load_spellings(true);
  {
    MemDict fix;
    SeDict dict("ABC", "01", true);
    SeDictValidator val(dict);
    const std::string text =
        "process 1 MAIN MENU\n"
        "statements 1\n"
        "      SET      ABC AMOUNT                     =      100\n"
        "T     IF       ABC COLOR                      EQ     BLUE\n"
        "statements 21 frame 1 1\n"
        "      COPY     ABC CALC TAX\n"
        "statements 41 frame 1 1 image 2\n"
        "      *        checks the colour\n"
        "      IF       ABC COLOR                      NE     #99\n"
        "\n"
        "process 6 CALC TAX\n"
        "statements 62 child 1 3\n"
        "      RETURN\n";
    SeFileResult r;
    ASSERT_EQ(se_read_file("main.stmt", text, &val, &r), 0) << (r.errors.empty() ? "" : r.errors[0]);
    ASSERT_EQ(r.stmts.size(), 6u);
    EXPECT_EQ(r.stmts[1].seq, 200u);
    EXPECT_EQ(r.stmts[2].seq, 100u);
    EXPECT_EQ(r.stmts[5].child_no, 3u);
    EXPECT_EQ(se_write_file(r.stmts), text);
    std::vector<std::string> errors;
    ASSERT_EQ(se_store_dict("ABC", "01", &dict, r.stmts, &errors, true), 6);
    std::vector<DStmt> listed;
    ASSERT_EQ(se_list_dict("ABC", "01", &dict, &listed), 1);
    ASSERT_EQ(listed.size(), 6u);
    EXPECT_EQ(se_write_file(listed), text);
  }
  fm_shutdown();
}

// Token statements are converted in batches of 256, the others written as
// they are: runs of both kinds at the batch's size and one past, with a
// token refused between them, store every other statement once.
TEST(SeFile, StoreRunsAroundTheTokenBatch) {
  bi_init_com();
  fms_init();
  se_load_spellings(true);
  {
    MemDict fix;
    SeDict dict("ABC", "01", true);
    const std::string tok = "T     IF       ABC COLOR                      EQ     BLUE\n";
    const std::string other = "      RETURN\n";
    const std::string refused = "      IF       ABC COLOR                      EQ     WIDE\n";
    std::string head = "process 1 MAIN MENU\nstatements 1\n", kept = head, all = head;
    auto add = [&](const std::string& line, int n) {
      for (int i = 0; i < n; ++i) kept += line, all += line;
    };
    add(tok, 256);
    add(other, 1);
    add(tok, 257);
    all += refused;
    add(other, 2);
    add(tok, 1);
    all += refused;
    add(tok, 3);
    add(other, 1);
    SeFileResult r;
    ASSERT_EQ(se_read_file("runs.stmt", all, nullptr, &r), 0);
    ASSERT_EQ(r.stmts.size(), 256u + 1 + 257 + 1 + 2 + 1 + 1 + 3 + 1);
    std::vector<std::string> errors;
    ASSERT_EQ(se_store_dict("ABC", "01", &dict, r.stmts, &errors, true), int(r.stmts.size()) - 2);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "token not stored: " + refused.substr(0, refused.size() - 1));
    std::vector<DStmt> listed;
    ASSERT_EQ(se_list_dict("ABC", "01", &dict, &listed), 1);
    ASSERT_EQ(listed.size(), r.stmts.size() - 2);
    // (the refused lines' sequence numbers are missing; the text shows none)
    EXPECT_EQ(se_write_file(listed), kept);
  }
  fm_shutdown();
}

TEST(SeFile, StatementFileErrors) {
  se_load_spellings(true);
  SeFileResult r;
  const std::string text =
      "statements 1\n"                       // 1: before a process
      "process 11 TOO BIG\n"                 // 2
      "process 1 MAIN MENU\n"                // 3
      "      SET\n"                          // 4: outside a block
      "statements 1 frame 1\n"               // 5: frame needs two numbers
      "statements 2\n"                       // 6
      "TX    END\n"                          // 7: refused at 1
      "      IF       ABC AMOUNT                 A1 GT     1\n";   // 8: refused at 43
  EXPECT_EQ(se_read_file("bad.stmt", text, nullptr, &r), 6);
  ASSERT_EQ(r.errors.size(), 6u);
  EXPECT_EQ(r.errors[0], "bad.stmt:1:1: statements before a process header");
  EXPECT_EQ(r.errors[1].substr(0, 12), "bad.stmt:2:9");
  EXPECT_EQ(r.errors[2], "bad.stmt:4:1: statement outside a block");
  EXPECT_EQ(r.errors[3].substr(0, 13), "bad.stmt:5:21");
  EXPECT_EQ(r.errors[4], "bad.stmt:7:1: T/F column");
  EXPECT_EQ(r.errors[5], "bad.stmt:8:43: occurrence");
}

// Blocks of one process that differ only in the event point or the child's
// number each write their header back, each block's sequences from 100.
TEST(SeFile, BlocksDifferingInEventPointOrChildWriteBack) {
  se_load_spellings(true);
  const std::string text =
      "process 1 MAIN MENU\n"
      "statements 1\n"
      "      END\n"
      "statements 2\n"
      "      END\n"
      "      EXIT\n"
      "statements 2 child 1 4\n"
      "      END\n"
      "statements 2 child 1 5\n"
      "      END\n";
  SeFileResult r;
  ASSERT_EQ(se_read_file("b.stmt", text, nullptr, &r), 0);
  ASSERT_EQ(r.stmts.size(), 5u);
  std::vector<uint32_t> seqs;
  for (const DStmt& s : r.stmts) seqs.push_back(s.seq);
  EXPECT_EQ(seqs, (std::vector<uint32_t>{100, 100, 200, 100, 100}));
  EXPECT_EQ(se_write_file(r.stmts), text);
}

// Lines ending in CR LF, a comment inside a block (the block goes on) and a
// line that begins like a header but is none (a statement line, refused at
// its T/F column, its line number counted across the CR LFs).
TEST(SeFile, CrLfCommentsAndHeaderLikeLines) {
  se_load_spellings(true);
  SeFileResult r;
  const std::string text =
      "process 1 MAIN MENU\r\n"
      "statements 2\r\n"
      "      END\r\n"
      "# between\r\n"
      "\r\n"
      "      EXIT\r\n"
      "statement 3\r\n"
      "pEND\n"
      "processes 1 X\n"
      "      END PROC";
  EXPECT_EQ(se_read_file("crlf.stmt", text, nullptr, &r), 3);
  ASSERT_EQ(r.errors.size(), 3u);
  EXPECT_EQ(r.errors[0], "crlf.stmt:7:1: T/F column");
  EXPECT_EQ(r.errors[1], "crlf.stmt:8:1: T/F column");
  EXPECT_EQ(r.errors[2], "crlf.stmt:9:1: T/F column");   // no process header: the block goes on
  ASSERT_EQ(r.stmts.size(), 3u);
  EXPECT_EQ(r.stmts[1].verb, uint16_t(se_verb_code("EXIT")));
  EXPECT_EQ(r.stmts[2].seq, 300u);
  EXPECT_EQ(r.lines, (std::vector<int>{3, 6, 10}));
}

}  // namespace

namespace {

// Header numbers and names at their largest and one past: a number one past
// its byte or word never wraps into a smaller one.
TEST(SeFile, HeaderBoundsAtTheLimitAndOnePast) {
  SeBlockKey k;
  int col = 0;
  ASSERT_TRUE(se_parse_block_header("statements 255 frame 255 4294967295 image 255 child 255 4294967295", &k, &col));
  EXPECT_EQ(k.event_point, 255);
  EXPECT_EQ(k.frame_class, 255);
  EXPECT_EQ(k.frame_no, 4294967295u);
  EXPECT_EQ(k.image_no, 255);
  EXPECT_EQ(k.child_disc, 255);
  EXPECT_EQ(k.child_no, 4294967295u);
  const std::pair<const char*, int> refused[] = {
      {"statements 256", 12},
      {"statements +5", 12},
      {"statements 1 frame 256 1", 20},
      {"statements 1 frame 1 4294967296", 22},
      {"statements 1 image 256", 20},
      {"statements 1 child 256 1", 20},
      {"statements 1 child 1 4294967296", 22},
      {"statements 1 child 1 99999999999999999999999", 22},
  };
  for (const auto& [line, at] : refused) {
    EXPECT_FALSE(se_parse_block_header(line, &k, &col)) << line;
    EXPECT_EQ(col, at) << line;
  }
  // Process headers: type 1-10 as a number or a word, names of 1-30.
  se_load_spellings(true);
  const std::string n30(30, 'N');
  SeFileResult r;
  std::string text = "process 10 " + n30 + "\nstatements 1\n      END\nprocess Subroutine ADD UP\nstatements 1\n"
                     "      END\nprocess 11 X\nprocess 0 X\nprocess 1 " + n30 + "N\nprocess sub X\n"
                     "process 1\nprocess 1 \nprocess 1   " + n30 + "N\n";
  EXPECT_EQ(se_read_file("h.stmt", text, nullptr, &r), 7);
  ASSERT_EQ(r.stmts.size(), 2u);
  EXPECT_EQ(r.stmts[0].proc_type, 10);
  EXPECT_EQ(r.stmts[0].proc_name.str(), n30);
  EXPECT_EQ(r.stmts[1].proc_type, 6);
  EXPECT_EQ(r.stmts[1].proc_name.str(), "ADD UP");
  EXPECT_EQ(r.stmts[1].seq, 100u);   // the first of its block
  const std::string type_err =
      ": process type (1-10 or menu, input, output, action, query, subroutine, update, job, inquiry, status) "
      "and name expected";
  EXPECT_EQ(r.errors, (std::vector<std::string>{"h.stmt:7:9" + type_err, "h.stmt:8:9" + type_err,
                                                "h.stmt:9:11: process name of 1 to 30 characters expected",
                                                "h.stmt:10:9" + type_err, "h.stmt:11:9" + type_err,
                                                "h.stmt:12:11: process name of 1 to 30 characters expected",
                                                "h.stmt:13:13: process name of 1 to 30 characters expected"}));
}

// One error for a refused header, none for each line under it; a process
// the check does not know is refused at its header.
TEST(SeFile, ARefusedHeaderIsOneError) {
  se_load_spellings(true);
  const std::string text =
      "process 12 X\n"            // 1: refused
      "statements 1\n"            // 2
      "      END\n"               // 3
      "      END\n"               // 4
      "process 6 NOSUCH\n"        // 5: not in the dictionary
      "statements 1\n"            // 6
      "      END\n"               // 7
      "process 6 OK\n"            // 8
      "statements 1 frame\n"      // 9: refused
      "      END\n"               // 10
      "statements 2\n"            // 11
      "      END\n";              // 12
  SeFileResult r;
  auto procs = [](int type, const std::string& name) {
    return name == "OK" && type == 6 ? std::string() : "no " + std::string(se_proc_type_name(type)) + " " + name;
  };
  EXPECT_EQ(se_read_file("one.stmt", text, nullptr, &r, procs), 3);
  EXPECT_EQ(r.errors, (std::vector<std::string>{
                          "one.stmt:1:9: process type (1-10 or menu, input, output, action, query, subroutine, "
                          "update, job, inquiry, status) and name expected",
                          "one.stmt:5:9: no Subroutine NOSUCH",
                          "one.stmt:9:19: block header: statements EP [frame C N] [image N] [child D N]"}));
  ASSERT_EQ(r.stmts.size(), 1u);
  EXPECT_EQ(r.stmts[0].event_point, 2);
}

}  // namespace

namespace {

// The checks of a dictionary validator, counted.
struct CountingValidator : SeValidator {
  SeDictValidator& v;
  bool counts_unkept;
  int validated = 0;
  CountingValidator(SeDictValidator& val, bool counts) : v(val), counts_unkept(counts) {}
  int validate(SeCheck& c) override {
    ++validated;
    return v.validate(c);
  }
  int is_pdf(const char* app, const char* name) override { return v.is_pdf(app, name); }
  int64_t unkept() const override { return counts_unkept ? v.unkept() : -1; }
};

// A line said again reads as it did the first time (each line read alone,
// in a file of its own, is the oracle), in the key and sequence of its own
// block; it is checked again when its checks read what the dictionary does
// not remember (a file, a token), when it was refused or warned of, and
// always under a validator that does not count such reads.
TEST(SeFile, ALineSaidAgainReadsAsItDid) {
  bi_init_com();
  fms_init();
  se_load_spellings(true);
  {
    MemDict fix;
    // A line: T/F column, verb, template, operands at their columns.
    auto L = [](const char* tf, const char* verb, std::initializer_list<std::pair<int, const char*>> ops) {
      std::string l(80, ' ');
      l.replace(0, std::strlen(tf), tf);
      l.replace(6, std::strlen(verb), verb);
      l.replace(15, 64, se_template(se_verb_code(verb)));
      for (auto& [c, t] : ops) l.replace(size_t(15 + c), std::strlen(t), t);
      while (l.back() == ' ') l.pop_back();
      return l;
    };
    const std::string set = L("T", "SET", {{0, "ABC"}, {4, "AMOUNT"}, {38, "100"}});
    const std::string pdf = L("", "SET", {{0, "ABC"}, {4, "OPTION"}, {38, "12"}});   // read as 0LA's field
    const std::string read = L("", "READ", {{0, "ABC"}, {4, "CUSTOMER"}, {19, "0"}, {29, "0"}, {42, "CUST NO"}});
    const std::string tok = L("", "IF", {{0, "ABC"}, {4, "COLOR"}, {31, "EQ"}, {38, "BLUE"}});
    const std::string bad = L("", "IF", {{0, "ABC"}, {4, "COLOR"}, {31, "EQ"}, {38, "BLACK"}});
    const std::string warn = L("", "SET", {{0, "XYZ"}, {4, "AMOUNT"}, {38, "1"}});
    const std::string comment = L("C", "SET", {{0, "ABC"}, {4, "NOSUCH"}});
    const std::vector<std::string> lines = {set, pdf, read, tok, bad, warn, comment};
    std::string text = "process 1 MAIN MENU\nstatements 1\n";
    for (int i = 0; i < 2; ++i)
      for (const std::string& l : lines) text += l + "\n";
    text += "statements 2\n";
    for (const std::string& l : lines) text += l + "\n";
    // Each line alone: its record, refusal or warning.
    auto alone = [&](const std::string& l, int line_no) {
      SeDict dict("ABC", "01", true);
      SeDictValidator val(dict);
      SeFileResult r;
      std::string one = "process 1 MAIN MENU\nstatements 1\n";
      for (int i = 3; i < line_no; ++i) one += "# \n";
      se_read_file("same.stmt", one + l + "\n", &val, &r);
      return r;
    };
    for (bool counts : {true, false}) {
      SeDict dict("ABC", "01", true);
      SeDictValidator val(dict);
      CountingValidator v(val, counts);
      SeFileResult r;
      EXPECT_EQ(se_read_file("same.stmt", text, &v, &r), 3);
      ASSERT_EQ(r.stmts.size(), 3u * (lines.size() - 1));
      std::vector<std::string> errors, warnings;
      size_t k = 0;
      for (int n = 3; n < 3 + 3 * int(lines.size()) + 1; ++n) {
        if (n == 3 + 2 * int(lines.size())) continue;   // the second block's header
        const std::string& l = lines[size_t(n - 3 - (n > 3 + 2 * int(lines.size()))) % lines.size()];
        SeFileResult one = alone(l, n);
        errors.insert(errors.end(), one.errors.begin(), one.errors.end());
        warnings.insert(warnings.end(), one.warnings.begin(), one.warnings.end());
        if (one.stmts.empty()) continue;
        ASSERT_LT(k, r.stmts.size());
        const DStmt& s = r.stmts[k];
        EXPECT_EQ(std::memcmp(s.tf.data(), one.stmts[0].tf.data(), sizeof s.tf), 0) << n;
        EXPECT_EQ(s.verb, one.stmts[0].verb) << n;
        EXPECT_EQ(std::memcmp(s.ops.data(), one.stmts[0].ops.data(), sizeof s.ops), 0) << n;
        EXPECT_EQ(s.event_point, n < 3 + 2 * int(lines.size()) ? 1 : 2) << n;
        EXPECT_EQ(r.lines[k], n);
        ++k;
      }
      EXPECT_EQ(r.errors, errors);
      EXPECT_EQ(r.warnings, warnings);
      EXPECT_EQ(r.stmts[7].seq, 800u);
      EXPECT_EQ(r.stmts[12].seq, 100u);
      // Checked again: the file and token lines, the refused and warned ones
      // (the 'C' line is not checked at all); the rest once.
      EXPECT_EQ(v.validated, counts ? 2 + 3 * 4 : 3 * 6);
    }
  }
  fm_shutdown();
}

// Past the memo's first table (its 512th line and one past, where it
// grows), every line said again still reads as the same file read with no
// memo at all (a validator that does not count).
TEST(SeFile, LinesSaidAgainPastTheMemosGrowthReadAsWithoutIt) {
  bi_init_com();
  fms_init();
  se_load_spellings(true);
  {
    MemDict fix;
    std::string text = "process 1 MAIN MENU\nstatements 1\n";
    for (int pass = 0; pass < 2; ++pass)
      for (int n = 0; n < 513; ++n) {
        std::string l(80, ' ');
        l.replace(6, 3, "SET");
        l.replace(15, 64, se_template(se_verb_code("SET")));
        l.replace(15, 3, "ABC");
        l.replace(19, 6, "AMOUNT");
        const std::string v = std::to_string(n);
        l.replace(53, v.size(), v);
        while (l.back() == ' ') l.pop_back();
        text += l + "\n";
      }
    SeFileResult with, without;
    for (bool counts : {true, false}) {
      SeDict dict("ABC", "01", true);
      SeDictValidator val(dict);
      CountingValidator v(val, counts);
      SeFileResult& r = counts ? with : without;
      EXPECT_EQ(se_read_file("many.stmt", text, &v, &r), 0);
      EXPECT_EQ(v.validated, counts ? 513 : 2 * 513);
    }
    ASSERT_EQ(with.stmts.size(), 2u * 513);
    ASSERT_EQ(without.stmts.size(), with.stmts.size());
    for (size_t i = 0; i < with.stmts.size(); ++i)
      EXPECT_EQ(std::memcmp(&with.stmts[i], &without.stmts[i], sizeof(DStmt)), 0) << i;
    EXPECT_EQ(with.lines, without.lines);
    EXPECT_TRUE(with.errors.empty());
  }
  fm_shutdown();
}

}  // namespace
