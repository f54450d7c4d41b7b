// Statement text: the layout table, lines from records (golden lines), the
// corpus both ways and what it must cover, and the reader's refusals.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <set>

#include "design/se_support.h"
#include "foundation/bi.h"
#include "foundation/la.h"

using namespace setest;

namespace {

// ------------------------------------------------------------- the table --

TEST(SeTable, RunsCountsAndNames) {
  int count = 0;
  const XmeEntry* t = xme_stmt(&count);
  int fields = 0;
  EXPECT_EQ(0, std::memcmp(&t[0], "\0\0\0\0\0\0\0\0\0\0\0\0", 12));
  for (int v = 0; v < kSeVerbs; ++v) {
    int n = 0;
    const XmeEntry* run = xme_run(v, &n);
    fields += n;
    EXPECT_EQ(run[n].kind, 0) << v;
    EXPECT_EQ(run[-1].kind, 0) << v;
    std::set<std::string> names;
    bool screen[kSeOpLen] = {};
    std::string_view tpl = se_template(v);
    for (int i = 0; i < n; ++i) {
      EXPECT_TRUE(names.insert(xme_name(v, i)).second) << v << " " << xme_name(v, i);
      const XmeEntry& e = run[i];
      EXPECT_LE(e.offset + e.width, kSeOpLen);
      if (e.kind == kSeRest) continue;
      for (int c = e.col; c < e.col + e.len; ++c) {
        EXPECT_FALSE(screen[c]) << "verb " << v << " column " << c;
        screen[c] = true;
        EXPECT_EQ(tpl[size_t(c)], ' ') << "verb " << v << ": template under operand at " << c;
      }
    }
  }
  // 1 leading entry, the fields, one ending entry per verb.
  EXPECT_EQ(fields, 507);
  EXPECT_EQ(count, 1 + 507 + kSeVerbs);
}

TEST(SeTable, OperandNamesGiveTheCompilersOffsets) {
  // IF: first operand at STMT 88, second at 118, relation code at 148.
  ASSERT_NE(xme_op(kVerbIf, "rel"), nullptr);
  EXPECT_EQ(88 + xme_op(kVerbIf, "rel")->offset, 148);
  EXPECT_EQ(88 + xme_op(kVerbIf, "occ2")->offset, 118);
  EXPECT_EQ(88 + xme_op(kVerbIf, "app2")->offset, 122);
  EXPECT_EQ(88 + xme_op(kVerbIf, "field2")->offset, 125);
  EXPECT_EQ(88 + xme_op(kVerbSet, "field")->offset, 95);
  EXPECT_EQ(xme_op(kVerbRead, "key")->offset, 13);
  EXPECT_EQ(xme_op(kVerbBegLoop, "step")->kind, kSeBound);
  EXPECT_EQ(xme_op(kVerbIf, "proc"), nullptr);
  EXPECT_EQ(se_verb_code("SET TEMP"), kVerbSetTemp);
  EXPECT_EQ(se_verb_code("DELATTRS"), 103);
  EXPECT_EQ(se_verb_code("NOPE"), -1);
}

TEST(SeTable, MessagesMatchTheBuiltInWords) {
  se_load_spellings();
  for (int v = 0; v < kSeVerbs; ++v) {
    EXPECT_EQ(std::string(se_get_verb_spell(v)), pad80(se_builtin_verb(v)).substr(0, 8)) << v;
    std::string builtin(se_template(v));
    se_load_spellings(true);
    EXPECT_EQ(std::string(se_template(v)), builtin) << "template of verb " << v;
    se_load_spellings();
  }
  // Verbs 100-104 would land on the area names: they keep their own.
  EXPECT_EQ(se_get_verb_spell(100), "MOVEATTR");
  EXPECT_EQ(se_area_name(1), "FIELD         ");
  EXPECT_EQ(se_rel_code(1), "EQ");
  EXPECT_EQ(se_rel_code(6), "NE");
  EXPECT_EQ(se_rel_code(7), "IN");
  EXPECT_EQ(se_rel_code(8), "EX");
}

// --------------------------------------------------------- golden lines --

DStmt make(int verb, const char* tf = "     ") {
  DStmt s = blank_stmt();
  s.verb = uint16_t(verb);
  s.tf.set(tf);
  std::memset(s.ops.data(), ' ', kSeOpLen);
  return s;
}
void put(DStmt& s, int off, std::string_view v) { std::memcpy(s.ops.data() + off, v.data(), v.size()); }
void occ(DStmt& s, int off, int n) { rec::view<SeOcc>(s.ops.data() + off).set_num(int16_t(n)); }
void letters(DStmt& s, int off, const char* l) {
  SeOcc& o = rec::view<SeOcc>(s.ops.data() + off);
  o.v[0] = uint8_t(l[0]);
  o.v[1] = uint8_t(l[1]);
  o.type = kOccLetters;
}

TEST(SeGen, MenuAndBegLoopToTheColumn) {
  se_load_spellings();
  DStmt m = make(44, "T    ");
  put(m, 0, "0LA");
  put(m, 3, "ORDER ENTRY");
  m.ops[33] = 1;      // RELATED
  m.ops[34] = '1';    // END? Y
  m.ops[35] = 2;      // FAIL 2
  //                   1234567890123456789012345678901234567890123456789012345678901234567890123456789
  EXPECT_EQ(text(m), "T     MENU     --- ORDER ENTRY                      RELATED      END? Y  FAIL 2 ");

  DStmt l = make(kVerbBegLoop);
  letters(l, 0, "AI");
  occ(l, 4, 0);
  occ(l, 8, 12);
  occ(l, 12, -3);
  EXPECT_EQ(text(l), pad80("      BEG LOOP AI = 000 TO 012  STEP -03"));
}

TEST(SeGen, OccurrencesVerbsAndDisplayNames) {
  se_load_spellings();
  DStmt s = make(kVerbIf);
  put(s, 4, "ABC");
  put(s, 7, "AMOUNT");
  s.ops[60] = 3;
  occ(s, 0, 5);
  letters(s, 30, "A ");
  EXPECT_EQ(text(s).substr(15, 64), "ABC AMOUNT                 005 GT                            A  ");
  occ(s, 0, -3);
  EXPECT_EQ(text(s).substr(42, 3), "-03");
  occ(s, 0, -100);
  EXPECT_EQ(text(s).substr(42, 3), "???");
  rec::view<SeOcc>(s.ops.data()).type = kOccNone;
  EXPECT_EQ(text(s).substr(42, 3), "   ");
  s.ops[60] = 9;   // no such code: blank
  EXPECT_EQ(text(s).substr(46, 2), "  ");

  for (int code : {kSeVerbs, 200}) {   // no such verb, from one past the last: a label
    DStmt big = make(code);
    put(big, 0, "HERE");
    EXPECT_EQ(text(big), pad80("      LABEL    HERE")) << code;
  }
  DStmt app = make(kVerbIf);
  put(app, 4, "0LX");   // only "0LA" itself shows as "---"
  EXPECT_EQ(text(app).substr(15, 3), "0LX");

  DStmt b = make(kVerbBright);
  EXPECT_EQ(text(b, 80, true).substr(6, 8), "BOLD    ");
  EXPECT_EQ(text(b, 80, false).substr(6, 8), "BRIGHT  ");
  DStmt d = make(kVerbDim);
  EXPECT_EQ(text(d, 80, true).substr(6, 8), "NO BOLD ");
  EXPECT_EQ(parse(text(d, 80, true), nullptr, true).stmt.verb, kVerbDim);
  EXPECT_EQ(parse(text(b, 80, true), nullptr, true).stmt.verb, kVerbBright);
}

TEST(SeGen, TranslatedVerbsCutAndFallBack) {
  la_set_lookup([](uint32_t msg, std::string* t, int* sev) {
    if (msg == 105440) {   // MENU
      *t = "AUSWAHLMENUE";
      *sev = 0;
      return true;
    }
    return false;
  });
  com.language.set("DEU");
  DStmt m = make(44);
  std::string line = text(m);
  EXPECT_EQ(line.substr(6, 8), "AUSWAHLM");
  EXPECT_EQ(parse(line).stmt.verb, 44);
  DStmt r = make(kVerbRead);
  EXPECT_EQ(text(r).substr(6, 8), "READ    ");   // no translation: built-in
  la_set_lookup(nullptr);
  com.language.clear();
  EXPECT_EQ(text(m).substr(6, 8), "MENU    ");   // the language changed back: reloaded
}

TEST(SeGen, ListingBuffersAgree) {
  se_load_spellings();
  auto lines = corpus();
  ASSERT_FALSE(lines.empty());
  for (size_t i = 0; i < lines.size(); i += 7) {
    Parsed p = parse(lines[i]);
    std::string a = text(p.stmt, 80), b = text(p.stmt, kSeWorkLen);
    EXPECT_EQ(b.substr(0, 80), a);
    EXPECT_EQ(b.substr(80), std::string(kSeWorkLen - 80, ' '));
    char via_hook[kSeWorkLen];
    se_list_stmt(p.stmt, via_hook, kSeWorkLen);
    EXPECT_EQ(std::string(via_hook, kSeWorkLen), b);
  }
}

TEST(SeGen, AddModeWritesTheDefaults) {
  com.cur_app.set("ABC");
  DStmt m = make(44);
  std::string out(80, ' ');
  SeGenCtx ctx;
  ctx.line = out.data();
  ctx.mode = kSeModeAdd;
  se_gen_stmt(ctx, m, 0, 0);
  EXPECT_EQ(out, pad80("      MENU     ABC                                  DETACHED     END? N  FAIL 0"));
  EXPECT_EQ(m.ops[33], 2);
  EXPECT_EQ(m.ops[34], '0');
  com.cur_app.clear();
}

// ------------------------------------------------------------ the corpus --

TEST(SeCorpus, TextToRecordToTextToRecord) {
  se_load_spellings();
  int n = 0;
  for (const std::string& l : corpus()) {
    Parsed a = parse(l);
    ASSERT_EQ(a.ok, 1) << "refused at " << a.col << ": " << l;
    std::string t = text(a.stmt);
    EXPECT_EQ(t, pad80(l));
    Parsed b = parse(t);
    ASSERT_EQ(b.ok, 1) << t;
    EXPECT_EQ(0, std::memcmp(&a.stmt, &b.stmt, sizeof(DStmt))) << l;
    ++n;
  }
  EXPECT_GT(n, 500);
}

// What the corpus must hold, derived from the table.
TEST(SeCorpus, CoversTheTable) {
  se_load_spellings();
  std::set<std::pair<int, int>> given, blanked;    // (verb, entry)
  std::map<int, std::set<int>> values;             // kind -> stored values seen
  std::set<std::string> occ_forms;
  std::set<int> verbs, cverbs;
  std::set<char> tf_chars;
  bool tf_mixed = false;
  for (const std::string& l : corpus()) {
    Parsed p = parse(l);
    ASSERT_EQ(p.ok, 1) << l;
    int v = p.stmt.verb;
    if (p.stmt.tf[0] == 'C') {
      cverbs.insert(v);
      continue;
    }
    verbs.insert(v);
    bool t = false, f = false;
    for (int i = 0; i < 5; ++i) {
      char c = p.stmt.tf[i];
      if (c != ' ') tf_chars.insert(c);
      t |= c == 'T' || c == '1';
      f |= c == 'F' || c == '0';
    }
    tf_mixed |= t && f;
    int n = 0;
    const XmeEntry* run = xme_run(v, &n);
    for (int i = 0; i < n; ++i) {
      const XmeEntry& e = run[i];
      if (e.kind == kSeRest) continue;
      const uint8_t* src = p.stmt.ops.data() + e.offset;
      if (p.st.status[i] == kSeStGiven) given.insert({v, i});
      if (p.st.status[i] == kSeStBlank) blanked.insert({v, i});
      switch (e.kind) {
        case kSeInvoc: case kSeDigit3: case kSeRel: case kSeArith: case kSeYesNo: case kSeDigit9:
        case kSeRel2: case kSeDigit8: case kSeArea: case kSeCommArea: case kSeDayForm: case kSeDigit2:
          if (p.st.status[i] == kSeStGiven) values[e.kind].insert(*src);
          break;
        case kSeDir:
          if (p.st.status[i] == kSeStGiven) values[e.kind].insert(src[0]);
          break;
        case kSeApp:
          if (std::memcmp(src, "0LA", 3) == 0) occ_forms.insert("---");
          break;
        case kSeOcc: case kSeOcc2: case kSeCount: case kSeLoop: case kSeBound: {
          const SeOcc& o = rec::view<SeOcc>(src);
          std::string k = std::to_string(e.kind) + ":";
          if (o.type == kOccNone) occ_forms.insert(k + "none");
          if (o.type == kOccLetters) occ_forms.insert(k + (o.v[1] == 'I' ? "letterI" : "letter"));
          if (o.type == kOccNumber) {
            int x = o.num();
            if (x == 0) occ_forms.insert("zero:" + std::to_string(v));
            if (x == 1 || x == 999 || x == -1 || x == -99) occ_forms.insert(k + std::to_string(x));
          }
          break;
        }
        default:
          break;
      }
    }
  }
  for (int v = 0; v < kSeVerbs; ++v) {
    EXPECT_TRUE(verbs.count(v)) << "no line of verb " << v;
    EXPECT_TRUE(cverbs.count(v)) << "no 'C' line of verb " << v;
    int n = 0;
    const XmeEntry* run = xme_run(v, &n);
    for (int i = 0; i < n; ++i) {
      if (run[i].kind == kSeRest) continue;
      EXPECT_TRUE(given.count({v, i})) << "verb " << v << " never gives " << xme_name(v, i);
      if (!(run[i].flags & kXmeRequired)) {
        EXPECT_TRUE(blanked.count({v, i})) << "verb " << v << " never leaves " << xme_name(v, i) << " blank";
      }
    }
  }
  const std::map<int, std::set<int>> want = {
      {kSeInvoc, {0, 1, 2}}, {kSeDigit3, {0, 1, 2, 3}}, {kSeRel, {1, 2, 3, 4, 5, 6, 7, 8}},
      {kSeArith, {'+', '-', '*', '/', 'P', 'M'}}, {kSeYesNo, {'1', '0'}}, {kSeDigit9, {0, 9}},
      {kSeRel2, {7, 8}}, {kSeDigit8, {'1', '2', '3', '4', '5', '6', '7', '8'}}, {kSeArea, {1, 3, 6, 7}},
      {kSeCommArea, {1, 2, 3, 4, 5, 6, 7}}, {kSeDayForm, {'L', 'S'}}, {kSeDir, {'F', 'I'}},
      {kSeDigit2, {0, 1, 2}}};
  for (const auto& [kind, vals] : want)
    for (int x : vals) EXPECT_TRUE(values[kind].count(x)) << "kind " << kind << " never holds " << x;
  for (const char* f : {"4:1", "4:999", "4:-1", "4:-99", "4:letter", "4:letterI", "4:none", "5:1", "5:999",
                        "13:1", "13:999", "13:letter", "16:letter", "16:letterI", "17:1", "17:999",
                        "17:-99", "zero:7", "zero:18", "---"})
    EXPECT_TRUE(occ_forms.count(f)) << "no occurrence form " << f;
  for (char c : std::string("TF10-")) EXPECT_TRUE(tf_chars.count(c)) << "T/F column never holds " << c;
  EXPECT_TRUE(tf_mixed);
}

// ------------------------------------------------------------- refusals --

// A line: T/F, verb, then (operand column, text) pairs placed at 16 + column.
std::string L(const char* tf, const char* verb, std::initializer_list<std::pair<int, const char*>> ops) {
  std::string l = pad80(std::string(tf));
  l.replace(6, 8, pad80(verb).substr(0, 8));
  int v = se_verb_code(verb);
  if (v >= 0) l.replace(15, 64, se_template(v));
  for (auto& [c, t] : ops) l.replace(size_t(15 + c), std::strlen(t), t);
  return l;
}

std::string with(std::string line, int col, std::string_view s) {
  line = pad80(line);
  line.replace(size_t(col - 1), s.size(), s);
  return line;
}

TEST(SeRefuse, ColumnsOfTheLine) {
  se_load_spellings();
  const std::string ifl = "T     IF       ABC AMOUNT                 001 EQ     100";
  ASSERT_EQ(parse(ifl).ok, 1);
  EXPECT_EQ(parse(with(ifl, 1, "TF")).ok, 1);
  EXPECT_EQ(parse(with(ifl, 1, "T1F0-")).ok, 1);   // the compiler's '1' and '0' read back
  auto p = parse(with(ifl, 1, "TX"));
  EXPECT_EQ(p.ok, 0);
  EXPECT_EQ(p.col, 1);
  EXPECT_EQ(parse(with(ifl, 1, "T F")).col, 1);
  p = parse(with(ifl, 7, "if      "));
  EXPECT_EQ(p.col, 7);
  p = parse(with(ifl, 7, "XYZZY   "));
  EXPECT_EQ(p.col, 7);
  p = parse(with(with(ifl, 7, "XYZZY   "), 1, "C"));   // 'C' does not excuse an unknown verb
  EXPECT_EQ(p.ok, 0);
  EXPECT_EQ(p.col, 7);
  p = parse(with(ifl, 30, "\t"));
  EXPECT_EQ(p.col, 30);
  p = parse(with(ifl, 6, "X"));
  EXPECT_EQ(p.col, 6);
  EXPECT_EQ(parse(with(ifl, 15, "X")).col, 15);
  // A remark's text ends at column 79: a character at 80 is refused, not dropped.
  EXPECT_EQ(parse(with("      *", 79, "x")).ok, 1);
  EXPECT_EQ(parse(with("      *", 80, "x")).col, 80);
  p = parse(ifl + std::string(30, ' ') + "Z");
  EXPECT_EQ(p.col, 80);
  EXPECT_EQ(parse(ifl + std::string(40, ' ')).ok, 1);   // trailing blanks past 80
  p = parse(with(ifl, 20, "?"));                          // outside the operands? no: the field
  EXPECT_EQ(p.ok, 1);
  p = parse(with(ifl, 42, "X"));   // between field and occurrence, not template text
  EXPECT_EQ(p.col, 42);
  p = parse(with(ifl, 43, "A1 "));
  EXPECT_EQ(p.col, 43);
  EXPECT_EQ(p.st.err_kind, kSeOcc);
  EXPECT_EQ(parse(with(ifl, 43, "AI ")).ok, 1);
  EXPECT_EQ(parse(with(ifl, 43, "1-2")).col, 43);
  EXPECT_EQ(parse(with(ifl, 43, "-  ")).col, 43);
  EXPECT_EQ(parse(with(ifl, 47, "XX")).col, 47);
  EXPECT_EQ(parse(with(ifl, 47, "  ")).col, 47);   // required comparison code
  // Kinds 13 and 16 take no minus sign; 16 takes letters only.
  const std::string print = L("", "PRINT", {{0, "ABC"}, {4, "LINE"}, {34, "001"}, {43, "002"}, {55, "003"}});
  ASSERT_EQ(parse(print).ok, 1);
  EXPECT_EQ(parse(with(print, 50, "-5 ")).col, 50);
  EXPECT_EQ(parse(with(print, 59, "-05")).col, 59);
  const std::string loop = "      BEG LOOP A  = 001 TO 010  STEP 001";
  ASSERT_EQ(parse(loop).ok, 1);
  EXPECT_EQ(parse(with(loop, 16, "-5")).col, 16);
  EXPECT_EQ(parse(with(loop, 16, "5 ")).col, 16);
  EXPECT_EQ(parse(with(loop, 21, "-5 ")).ok, 1);   // a bound may be negative
}

// Every byte at every column of a remark (its text takes columns 15-78),
// last on the line or with text after it: refused at its column exactly
// when it is a C0 or C1 control or DEL. Every byte but a blank is refused
// outside an IF's operands.
TEST(SeRefuse, ControlCharactersAtEveryColumn) {
  se_load_spellings();
  const std::string ifl = "T     IF       ABC AMOUNT                 001 EQ     100";
  for (int b = 0; b < 256; ++b) {
    if (b == ' ') continue;
    for (int col : {6, 15, 42})
      ASSERT_EQ(parse(with(ifl, col, std::string(1, char(b)))).col, col) << "byte " << b << " column " << col;
  }
  for (int b = 0; b < 256; ++b) {
    bool control = b < 0x20 || b == 0x7f || (b >= 0x80 && b < 0xa0);
    for (int col = 16; col <= 80; ++col)
      for (int len : {col, std::min(78, col + 3)}) {
        if (len < col || (!control && col > 78)) continue;
        std::string l = pad80("      *").substr(0, size_t(col - 1)) + char(b);
        l.resize(size_t(len), 'x');
        Parsed p = parse(l);
        if (control) {
          ASSERT_EQ(p.col, col) << "byte " << b << " column " << col;
        } else {
          ASSERT_EQ(p.ok, 1) << "byte " << b << " column " << col;
        }
      }
  }
}

// A line read where it lies, its last byte the last of a page whose next
// page is not mapped: at every length around the reader's word and block
// steps nothing past the line's end is read, and the line reads as the same
// line held anywhere else.
TEST(SeRefuse, ALineEndingAtAPageEndIsReadWithinIt) {
  se_load_spellings();
  const size_t pg = size_t(sysconf(_SC_PAGESIZE));
  auto* m = static_cast<char*>(mmap(nullptr, 2 * pg, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(m, MAP_FAILED);
  ASSERT_EQ(mprotect(m + pg, pg, PROT_NONE), 0);
  const std::string lines[] = {pad80("T     IF       ABC AMOUNT                 001 EQ     100") + "Z",
                               pad80("      *        A REMARK \x01 AND MORE") + "  "};
  for (const std::string& full : lines)
    for (size_t n : {0, 1, 6, 7, 8, 9, 14, 15, 16, 17, 23, 24, 25, 31, 32, 33, 63, 64, 65, 79, 80, 81, 82}) {
      SCOPED_TRACE(n);
      std::string l = full.substr(0, n);
      char* at = m + pg - n;
      std::memcpy(at, l.data(), n);
      Parsed want = parse(l), got;
      got.st.text = at;
      got.st.len = int(n);
      got.ok = se_degen_stmt(got.st, got.stmt, &got.col, &got.second);
      EXPECT_EQ(got.ok, want.ok);
      EXPECT_EQ(got.col, want.col);
      EXPECT_EQ(std::memcmp(&got.stmt, &want.stmt, sizeof got.stmt), 0);
    }
  munmap(m, 2 * pg);
}

TEST(SeRefuse, CLinesAndRequiredOperands) {
  se_load_spellings();
  auto p = parse("      READ");
  EXPECT_EQ(p.ok, 0);
  EXPECT_EQ(p.col, 16);   // the application, then the file
  p = parse("C     READ");
  EXPECT_EQ(p.ok, 1);
  EXPECT_EQ(text(p.stmt), L("C", "READ", {}));
  p = parse("CTX   READ");   // no T/F check in 'C' lines
  EXPECT_EQ(p.ok, 1);
  p = parse("C     IF       ABC AMOUNT                 A1");   // invalid text: no record keeps it
  EXPECT_EQ(p.col, 43);
}

TEST(SeRefuse, CombinationRules) {
  se_load_spellings();
  // Attribute verbs: occurrence, application, field, appearance.
  const std::string dim = L("", "DIM", {{0, "ABC"}, {4, "AMOUNT"}, {27, "002"}, {48, "003"}});
  EXPECT_EQ(parse(dim).ok, 1);
  EXPECT_EQ(parse(with(dim, 43, "   ")).ok, 1);
  EXPECT_EQ(parse(L("", "DIM", {})).ok, 1);
  auto p = parse(L("", "DIM", {{27, "002"}}));
  EXPECT_EQ(p.col, 43);
  EXPECT_EQ(parse(L("C", "DIM", {{27, "002"}})).ok, 1);   // a 'C' line is not compiled
  p = parse(L("", "DIM", {{48, "003"}}));
  EXPECT_EQ(p.col, 64);
  p = parse(L("", "DIM", {{4, "AMOUNT"}}));
  EXPECT_EQ(p.col, 20);   // a field without its application
  // CALL and RUN: occurrence, application, field.
  const std::pair<int, const char*> no_no[] = {{41, "N"}, {49, "N"}, {57, "0"}};
  EXPECT_EQ(parse(L("", "CALL", {{0, "ABC"}, {4, "PAY"}, no_no[0], no_no[1], no_no[2]})).ok, 1);
  p = parse(L("", "CALL", {{0, "ABC"}, no_no[0], no_no[1], no_no[2]}));
  EXPECT_EQ(p.col, 20);
  p = parse(L("", "RUN", {{27, "002"}, {49, "N"}, {57, "0"}}));
  EXPECT_EQ(p.col, 43);
  EXPECT_EQ(parse(L("", "RUN", {{4, "PAY"}, {49, "N"}, {57, "0"}})).ok, 1);
  // RETURN: a blank application needs a blank field too.
  EXPECT_EQ(parse(L("", "RETURN", {})).ok, 1);
  EXPECT_EQ(parse(L("", "RETURN", {{4, "DONE"}})).col, 20);
  // TIMEOUT: label, occurrence, application, field.
  EXPECT_EQ(parse(L("", "TIMEOUT", {{0, "WAIT HERE"}})).ok, 1);
  EXPECT_EQ(parse(L("", "TIMEOUT", {{0, "WAIT HERE"}, {38, "SECONDS"}})).col, 54);
  EXPECT_EQ(parse(L("", "TIMEOUT", {{0, "WAIT HERE"}, {61, "002"}})).col, 77);
  EXPECT_EQ(parse(L("", "TIMEOUT", {{0, "WAIT HERE"}, {34, "ABC"}, {38, "SECONDS"}})).ok, 1);
  EXPECT_EQ(parse(L("", "TIMEOUT", {{34, "ABC"}})).col, 54);
}

// A value in the columns of another operand: each operand converts alone,
// but the statement would name an application that is no id, a field of
// no name or an occurrence of no field. Refused at the column, with what
// the columns take; the operands' other forms read as before.
TEST(SeRefuse, AValueInAnotherOperandsColumns) {
  se_load_spellings();
  const std::string ifl = L("", "IF", {{0, "ABC"}, {4, "AMOUNT"}, {31, "EQ"}});
  ASSERT_EQ(parse(with(ifl, 54, "42")).ok, 1);
  ASSERT_EQ(parse(with(with(ifl, 50, "XYZ"), 54, "TOTAL")).ok, 1);
  struct Case {
    int at;
    const char* text;
    int col;
    const char* why;
  } cases[] = {
      {50, "42", 50, "application 42 with no field: columns 50-52 take the application of the field named in columns 54-75; "
                     "a value goes in columns 54-75 with columns 50-52 blank"},
      {51, "42", 50, "\" 42\" is no application id: columns 50-52 take an application id, one to three upper-case "
                     "letters or digits from column 50, or --- for the runtime application"},
      {16, "4-C", 16, nullptr},
      {16, "abc", 16, nullptr},
      {77, "42", 77, "occurrence 042 of no field: columns 77-79 take the occurrence of the field named in columns 54-75 "
                     "with its application in columns 50-52"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    Parsed p = parse(with(ifl, c.at, c.text));
    EXPECT_EQ(p.ok, 0);
    EXPECT_EQ(p.col, c.col);
    if (c.why) {
      EXPECT_EQ(p.st.why, c.why);
    }
  }
  Parsed p = parse(with(with(ifl, 54, "42"), 77, "002"));   // a value has no occurrence
  EXPECT_EQ(p.col, 77);
  EXPECT_EQ(p.st.why.substr(0, 29), "occurrence 002 of a value: co");
  // An application id's characters at their bounds, and one past each.
  for (const char* id : {"A09", "Z", "9ZA"}) EXPECT_EQ(parse(with(with(ifl, 50, id), 54, "TOTAL")).ok, 1) << id;
  for (const char* id : {"@", "[", "/", ":", "A Z"}) EXPECT_EQ(parse(with(with(ifl, 50, id), 54, "TOTAL")).col, 50) << id;
  // Of two refusals the leftmost: the application before the occurrence,
  // a comparison code that does not convert before the application.
  p = parse(with(with(ifl, 50, "42"), 77, "002"));
  EXPECT_EQ(p.col, 50);
  EXPECT_EQ(p.st.why.substr(0, 29), "application 42 with no field:");
  EXPECT_EQ(parse(with(with(ifl, 47, "XX"), 50, "42")).col, 47);
  // A second operand whose field is required: its missing field refused.
  EXPECT_EQ(parse(L("", "COMPUTE", {{0, "ABC"}, {4, "AMOUNT"}, {34, "ABC"}, {31, "+"}})).col, 54);
  // The second operand of the other verbs that take a field or a value.
  EXPECT_EQ(parse(L("", "SET", {{0, "ABC"}, {4, "AMOUNT"}, {34, "1"}})).col, 50);
  EXPECT_EQ(parse(L("", "BEG AT", {{0, "ABC"}, {4, "CUSTOMER"}, {13, "IN"}, {16, "ABC"}})).col, 32);
  EXPECT_EQ(parse(L("", "BEG AT", {{0, "ABC"}, {4, "CUSTOMER"}, {13, "IN"}, {20, "100"}})).ok, 1);
  // An attribute verb's application alone, and a line kept out of the
  // compile, read as before.
  EXPECT_EQ(parse(L("", "DIM", {{0, "ABC"}})).ok, 1);
  EXPECT_EQ(parse(with(with(ifl, 1, "C"), 50, "42")).ok, 1);
  // A character in no operand's columns says which are around it.
  const std::string stray = with(ifl, 53, "4");   // (the state points into the line)
  p = parse(stray);
  EXPECT_EQ(p.col, 53);
  EXPECT_EQ(se_refusal_text("f", 3, p.st, p.col, 0),
            "f:3:53: character outside IF's operands: column 53 lies between the application id in columns 50-52 and "
            "the field name in columns 54-75");
}

// The one-character operands and the words of a list at their first and
// last values, and one past each.
TEST(SeRefuse, OneCharacterOperandsAndWordsAtTheirBounds) {
  se_load_spellings();
  struct Case {
    std::string line;
    int col;               // the operand's column
    const char* ok[3];     // read
    const char* bad[3];    // refused at col
  };
  const Case cases[] = {
      {L("", "READ", {{0, "ABC"}, {4, "CUSTOMER"}, {29, "0"}}), 35, {"0", "2"}, {"3", "/"}},           // hold 0-2
      {L("", "READ", {{0, "ABC"}, {4, "CUSTOMER"}, {19, "0"}}), 45, {"0", "3"}, {"4", "/"}},           // fail 0-3
      {L("", "APPEND", {{0, "ABC"}, {4, "CODE"}}), 47, {"0", "9"}, {"/", ":"}},                        // 0-9
      {L("", "DATE ADD", {{0, "ABC"}, {4, "DAY"}, {38, "5"}}), 47, {"1", "8"}, {"0", "9"}},            // 1-8
      {L("", "LOGOUT", {}), 24, {"Y", "y", "n"}, {"X"}},
      {L("", "STORE", {{0, "ABC"}, {4, "WORK"}}), 47, {"FIELD", "DEFAULT FIELD"}, {"STORE FIELD", "FILE"}},
      {L("", "BEG AT", {{0, "ABC"}, {4, "CUSTOMER"}, {20, "100"}}), 29, {"IN", "EX"}, {"NE", "EQ"}},
  };
  for (const Case& c : cases) {
    for (const char* v : c.ok) {
      if (!v) continue;
      Parsed p = parse(with(c.line, c.col, v));
      EXPECT_EQ(p.ok, 1) << v << " at " << c.col << " refused at " << p.col;
      // and it reads back the same from its own text
      Parsed back = parse(text(p.stmt));
      EXPECT_EQ(std::memcmp(&back.stmt, &p.stmt, sizeof p.stmt), 0) << v;
    }
    for (const char* v : c.bad) {
      if (v) {
        EXPECT_EQ(parse(with(c.line, c.col, v)).col, c.col) << v;
      }
    }
  }
}

// What a refusal says, by the column it names.
TEST(SeRefuse, WhatTheRefusalSays) {
  se_load_spellings();
  const std::string ifl = "T     IF       ABC AMOUNT                 001 EQ     100";
  const std::string loop = "      BEG LOOP A  = 001 TO 010  STEP 001";
  const std::pair<std::string, std::string> cases[] = {
      {with(ifl, 6, "X"), "f:2:6: column 6 stays blank: the T/F column is 1-5, the verb 7-14"},
      {with(ifl, 15, "X"), "f:2:15: column 15 stays blank: the verb is in columns 7-14, its operands begin in column 16"},
      {with("      *", 80, "x"), "f:2:80: text past column 79, where a statement ends"},
      {ifl + "\x01", "f:2:57: control character 0x01: a statement line holds printable characters only"},
      {with(ifl, 43, "\t"), "f:2:43: control character 0x09: a statement line holds printable characters only"},
      {"      GOTO", "f:2:16: free text"},
      {"      NOSUCHVB", "f:2:7: unknown verb NOSUCHVB"},
      {"      CALC XYZ", "f:2:7: text after verb CALC in the verb's columns 7-14; its operands begin in column 16"},
      {with(loop, 18, "X"), "f:2:18: character outside BEG LOOP's operands: column 18 lies between the loop letter in "
                            "columns 16-17 and the loop bound in columns 21-23"},
      {with(loop, 45, "X"), "f:2:45: character outside BEG LOOP's operands: column 45 lies after the last, the loop "
                            "bound in columns 38-40"},
      {"      LOGOUT   X", "f:2:16: character outside LOGOUT's operands: column 16 lies before the first, the Y or N "
                           "in columns 24-24"},
      {"      END      X", "f:2:16: character outside END's operands: END takes none"},
  };
  for (const auto& [line, want] : cases) {
    Parsed p = parse(line);
    EXPECT_EQ(p.ok, 0) << line;
    EXPECT_EQ(se_refusal_text("f", 2, p.st, p.col, p.second), want);
  }
}

TEST(SeOcc, GetAndPut) {
  SeOcc o;
  struct C { const char* t; int kind; int ok; int type; int num; };
  const C cases[] = {
      {"001", kSeOcc, 1, kOccNumber, 1},   {"999", kSeOcc, 1, kOccNumber, 999},
      {"-99", kSeOcc, 1, kOccNumber, -99}, {" 5 ", kSeOcc, 1, kOccNumber, 5},
      {"   ", kSeOcc, 1, kOccNone, 0},     {"A  ", kSeOcc, 1, kOccLetters, 0},
      {"AI ", kSeOcc, 1, kOccLetters, 0},  {"A1 ", kSeOcc, 0, 0, 0},
      {"AB ", kSeOcc, 0, 0, 0},            {"a  ", kSeOcc, 0, 0, 0},
      {"--1", kSeOcc, 0, 0, 0},            {"-5 ", kSeCount, 0, 0, 0},
      {"-5 ", kSeBound, 1, kOccNumber, -5}, {"5  ", kSeLoop, 0, 0, 0},
      {"AII", kSeOcc, 0, 0, 0},            {"1A ", kSeOcc, 0, 0, 0},
      {"AJ ", kSeOcc, 0, 0, 0},            {"1/ ", kSeOcc, 0, 0, 0},
      {"1: ", kSeOcc, 0, 0, 0},            {"090", kSeOcc, 1, kOccNumber, 90},
  };
  for (const C& c : cases) {
    EXPECT_EQ(get_occ(c.t, &o, c.kind), c.ok) << c.t;
    if (!c.ok) continue;
    EXPECT_EQ(o.type, c.type) << c.t;
    if (c.type == kOccNumber) {
      EXPECT_EQ(o.num(), c.num) << c.t;
    }
    char back[3];
    put_occ(back, o);
    SeOcc o2;
    ASSERT_EQ(get_occ(back, &o2, c.kind), 1);
    EXPECT_EQ(0, std::memcmp(&o, &o2, 3)) << c.t;
  }
}

}  // namespace
