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

}  // namespace
