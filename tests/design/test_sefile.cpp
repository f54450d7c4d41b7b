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
