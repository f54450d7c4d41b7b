// The source form's reader: headers, entries, quoting, screens with item
// markers, and every refusal naming file, line and column.
#include <gtest/gtest.h>

#include "model.h"
#include "srcform.h"

namespace {

qg::Text parse(const std::string& src, qg::TextKind k, qg::Errors* errs) {
  qg::Text t;
  qg::parse_text("t.x", src, k, &t, errs);
  return t;
}

std::string first_error(const std::string& src, qg::TextKind k) {
  qg::Errors errs;
  parse(src, k, &errs);
  return errs.any() ? errs.list[0].str() : "";
}

TEST(GenSource, EntriesKeepNamesWithBlanksAndQuotedValues) {
  qg::Errors errs;
  qg::Text t = parse(
      "# a comment\n"
      "records APPL\n"
      "\n"
      "record\n"
      "  NEXT CHILD ID = +\n"
      "  TEXT   =   \"  AB \"\"x\"\" \"  \n"
      "  EMPTY =\n",
      qg::TextKind::Records, &errs);
  ASSERT_FALSE(errs.any()) << errs.str();
  ASSERT_EQ(t.blocks.size(), 2u);
  EXPECT_EQ(t.blocks[0].args[0].text, "APPL");
  const qg::Block& r = t.blocks[1];
  ASSERT_EQ(r.entries.size(), 3u);
  EXPECT_EQ(r.entries[0].name, "NEXT CHILD ID");
  EXPECT_EQ(r.entries[0].value, "+");
  EXPECT_EQ(r.entries[0].name_at.line, 5);
  EXPECT_EQ(r.entries[0].name_at.col, 3);
  EXPECT_EQ(r.entries[1].value, "  AB \"x\" ");
  EXPECT_TRUE(r.entries[1].quoted);
  EXPECT_EQ(r.entries[1].value_at.col, 14);
  EXPECT_EQ(r.entries[2].value, "");
}

TEST(GenSource, RefusalsNameTheirPlace) {
  using K = qg::TextKind;
  EXPECT_EQ(first_error("record\n", K::Records), "t.x:1:1: a records text begins with \"records FILE\"");
  EXPECT_EQ(first_error("records A\nrecord\n  X = \"open\n", K::Records),
            "t.x:3:7: quote not closed (or text after it)");
  EXPECT_EQ(first_error("records A\nrecord\n  X = 1\n  X = 2\n", K::Records),
            "t.x:4:3: \"X\" given twice (first at line 3)");
  EXPECT_EQ(first_error("records A\nrecord\n  just text\n", K::Records),
            "t.x:3:3: expected \"NAME = value\" or a header");
  EXPECT_EQ(first_error("records A\nbogus 1\n", K::Records),
            "t.x:2:1: unknown header \"bogus\" in this kind of text");
  EXPECT_EQ(first_error("process P\nimage 1\n", K::Process), "t.x:2:1: \"image\" outside frame");
  EXPECT_EQ(first_error("process P\nframe 1\nimage 1\nscreen\n|ab|\n", K::Process),
            "t.x:4:1: \"screen\" without \"end screen\"");
  EXPECT_EQ(first_error("process P\nframe 1\nimage 1\nscreen\n|ab\nend screen\n", K::Process),
            "t.x:5:4: screen row not closed by '|'");
  EXPECT_EQ(first_error("process P\nframe 1\nimage 1\nscreen\n| @A_ @A |\nend screen\n", K::Process),
            "t.x:5:7: item marker 'A' drawn twice");
  EXPECT_EQ(first_error("process P\nprocess Q\n", K::Process), "t.x:2:1: one process to a text");
  // A header below the screen's rows: its "end screen" is missing, and the
  // header and what follows are read as such, not as screen rows.
  EXPECT_EQ(first_error("process P\nframe 1\nimage 1\nscreen\n|ab|\nitem A\n  field = X\n", K::Process),
            "t.x:4:1: \"screen\" without \"end screen\" (before line 6)");
}

TEST(GenSource, ScreenRowsPlaceItemsAndBlankTheirMarkers) {
  qg::Errors errs;
  qg::Text t = parse(
      "process QUVO MENU\n"
      "frame 1\n"
      "image 1\n"
      "screen\n"
      "|   MENU        |\n"
      "| Option: @A__  |\n"
      "end screen\n"
      "item A\n"
      "  FIELD = OPTION\n"
      "option 1 = ERROR MESSAGE\n",
      qg::TextKind::Process, &errs);
  ASSERT_FALSE(errs.any()) << errs.str();
  ASSERT_EQ(t.blocks.size(), 5u);
  const qg::Block& img = t.blocks[2];
  ASSERT_EQ(img.rows.size(), 2u);
  EXPECT_EQ(img.rows[1], " Option:       ");
  ASSERT_EQ(img.items.size(), 1u);
  EXPECT_EQ(img.items[0].marker, 'A');
  EXPECT_EQ(img.items[0].row, 2);
  EXPECT_EQ(img.items[0].col, 10);
  EXPECT_EQ(img.items[0].width, 4);
  EXPECT_EQ(t.blocks[4].args[0].text, "1");
  EXPECT_EQ(t.blocks[4].args[2].text, "ERROR MESSAGE");
  EXPECT_EQ(t.blocks[4].args[2].at.col, 12);
}

TEST(GenSource, FieldDescriptions) {
  qg::Errors errs;
  qg::Entry e{"OPTION", "binary 2 x 3 key 1 dup signed decimals 2 initial \"1.5\" null \"\"", {"f", 4, 3},
              {"f", 4, 12}, false};
  qg::FieldDef f;
  qg::parse_field_form(e, false, &f, &errs);
  ASSERT_FALSE(errs.any()) << errs.str();
  EXPECT_EQ(f.type, 5);
  EXPECT_EQ(f.len, 2);
  EXPECT_EQ(f.occurs, 3);
  EXPECT_EQ(f.key, 1);
  EXPECT_TRUE(f.dup);
  EXPECT_TRUE(f.is_signed);
  EXPECT_EQ(f.decimals, 2);
  EXPECT_EQ(f.initial, "1.5");
  EXPECT_TRUE(f.has_null);
  EXPECT_EQ(f.initial_at.col, 12 + 49);
  qg::parse_field_form(qg::Entry{"R", "binary 2 scan 3 lookup \"OPA/OPREGION/REGION NO\"", {"f", 5, 3}, {"f", 5, 8}, false},
                       false, &f, &errs);
  ASSERT_FALSE(errs.any()) << errs.str();
  EXPECT_EQ(f.scan, 3);
  EXPECT_EQ(f.lookup_app + "|" + f.lookup_file + "|" + f.lookup_field, "OPA|OPREGION|REGION NO");

  auto err = [](const std::string& v, bool declared = false) {
    qg::Errors es;
    qg::FieldDef fd;
    qg::parse_field_form(qg::Entry{"F", v, {"f", 2, 1}, {"f", 2, 10}, false}, declared, &fd, &es);
    return es.any() ? es.list[0].str() : "";
  };
  EXPECT_EQ(err("blob 4"), "f:2:10: unknown data type \"blob\"");
  EXPECT_EQ(err("alpha 0"), "f:2:16: field length (1-32767) expected");
  EXPECT_EQ(err("alpha 4 key 17"), "f:2:22: \"key\" takes a number 0-16");
  EXPECT_EQ(err("alpha 4 colour red"), "f:2:18: unknown field option \"colour\"");
  EXPECT_EQ(err("alpha 4 scan 31"), "");
  EXPECT_EQ(err("alpha 4 scan 32"), "f:2:23: \"scan\" takes a number 1-31");
  EXPECT_EQ(err("binary 2 lookup \"OPA/OPREGION/REGION NO\""), "");
  EXPECT_EQ(err("binary 2 lookup \"OPA/F/ABCDEFGHIJKLMNOPQRSTUV\""), "");
  for (const char* bad : {"\"OP/OPREGION/REGION NO\"", "\"OPA/OPREGION9/REGION NO\"", "\"OPA//REGION NO\"",
                          "\"OPA/OPREGION/\"", "\"OPA/OPREGION/NO/X\"", "\"OPA/F/ABCDEFGHIJKLMNOPQRSTUVW\""})
    EXPECT_EQ(err(std::string("binary 2 lookup ") + bad).substr(0, 28), "f:2:26: \"lookup\" takes \"APP/")
        << bad;
  EXPECT_EQ(err("alpha 4", true), "f:2:10: a declared file's field takes its type and length from the declaration");
  EXPECT_EQ(err("initial 5", true), "");
}

}  // namespace
