// The readable source form of the system applications' data (data/apps) and
// its reader.
//
// An application is a directory named by its id ("0LA"). It holds texts of
// three kinds, told apart by their suffix:
//
//   *.def    file definitions: the application's files and work fields
//   *.rec    records of one file
//   *.proc   one process: its header, frames, images, items,
//            characteristics and children
//
// Lexical rules, the same in every text:
//   1. A line whose first non-blank character is '#' is a comment; blank
//      lines separate nothing and are ignored.
//   2. A header line begins in column 1 with a lower-case keyword and holds
//      no '=' (but `option N = NAME`); the rest of the line is its arguments
//      (separated by blanks; a double-quoted argument may hold blanks).
//   3. Any other line is an entry `NAME = value`: NAME is everything before
//      the first '=' with the blanks around it trimmed (names hold blanks:
//      "NEXT CHILD ID"); value is everything after it, trimmed. A value in
//      double quotes keeps its blanks ("  AB"); inside quotes "" is one
//      quote. An entry belongs to the last header above it.
//   4. Between `screen` and `end screen`, every line is a screen row drawn
//      between two '|' characters (anything after the second '|' is ignored).
//
// Headers by kind of text:
//   .def   `file NAME CLASS [declared] [single] [desc "TEXT"]`
//            CLASS: disk | memory; TEXT the file's description (at most 30
//            characters), the name messages about the file give
//            entries: FIELD NAME = field description (below); in a
//            declared file (one the engine also declares) the description
//            gives only options, the layout comes from the declaration
//          `work`   entries: WORK FIELD NAME = field description
//   .rec   `records FILE`  once, first: the file the records belong to
//          `record`        starts a record; its entries are its fields
//   Field names are those of the file's definition, or for a declared file
//   the names of the engine's declaration (proc_name, rec_len ...);
//   `NAME[n] = value` sets occurrence n of a field, `NAME = value` the first.
//   Values are written as files/dictenc.h (declared files) and value.h
//   (defined files) say; a field left out keeps the file's INITIAL value,
//   a stamp left out the generator's one stamp.
//   .proc  `process NAME`  once, first; entries: PROCESS fields
//          `frame N`       entries: FRAME fields
//          `image N`       inside a frame; entries: IMAGE fields
//          `screen` ... `end screen`  inside an image: its rows
//          `item M`        inside an image: the item drawn with marker M
//          `chr N`         inside an image: a characteristic
//          `option N = PROCESS NAME`  inside an image: numbered option N runs
//                          that process (entries after it: CHILD fields)
//
// Field description (file definitions):
//   TYPE LENGTH [x OCCURS] [key N] [dup] [signed] [decimals D] [just J]
//        [stamp S] [scan C] [lookup "APP/FILE/FIELD"] [mask "M"] [initial "V"]
//        [null "V"] [label "L"]
//   (a date type may give its mask in place of the length)
//   N: the key the field belongs to (0 primary, 1-16 alternate); the
//   fields of one key number are its segments, in the record's order
//   J: the justification rule of a text field, 0-4 (0 when not given;
//   1 left-justified, refusing a blank inside the value)
//   S: the file's special-usage slot the field fills (0-9): 0 added-by
//   user, 1 changed-by user, 4 date added, 5 date changed (stamped by the
//   process's own-file writes), 2 and 3 the delete guard
//   C: the field's scan code, 1-31: one of the file's descriptive fields
//   (the lines a report's subheading prints from a looked-up record)
//   lookup: the field (a key) of a file that this field's value looks up
//   (the element's look-up reference); the sources must define both
//   TYPE: alpha | binary | packed | logic | decimal | date-text | date-binary
//         | date-packed | date-std, or the data type code 1-15.
//
// Screen rows: a run "@M___" (an '@', the marker character M, underscores)
// places item M at the '@' column. The run only marks the place: the item is
// as wide as its field shows (its mask, else its length), and the process
// compiler refuses an item that would cover fixed text or another item.
// Everything else on the row is the row's text; the markers' places become
// blanks in the text.
//
// Errors: every error names the place as "file:line:column: text".
#pragma once

#include <string>
#include <vector>

namespace qg {

struct Pos {
  std::string file;
  int line = 0;
  int col = 0;
};

struct Error {
  Pos at;
  std::string text;
  std::string str() const;  // "file:line:column: text" ("path: text" for a directory)
};

struct Errors {
  std::vector<Error> list;
  void add(const Pos& at, std::string text) { list.push_back({at, std::move(text)}); }
  bool any() const { return !list.empty(); }
  std::string str() const;  // one line per error
};

struct Arg {
  std::string text;
  Pos at;
  bool quoted = false;
};

struct Entry {
  std::string name;
  std::string value;
  Pos name_at;
  Pos value_at;
  bool quoted = false;  // the value was written in quotes
};

struct Item {  // an item marker on a screen row
  char marker = 0;
  int row = 0;  // from 1
  int col = 0;  // from 1
  int width = 0;
  Pos at;
};

struct Block {
  std::string kind;        // header keyword: "file", "record", "process", ...
  std::vector<Arg> args;   // header arguments
  Pos at;                  // the header's place
  std::vector<Entry> entries;
  // image blocks: the screen
  std::vector<std::string> rows;  // row texts, markers blanked
  std::vector<Pos> rows_at;
  std::vector<Item> items;
  const Entry* find(const std::string& name) const;
};

enum class TextKind { Defs, Records, Process };

struct Text {
  std::string path;
  TextKind kind = TextKind::Defs;
  std::vector<Block> blocks;
};

// The kind of a text by its suffix; false when it has none of the three.
bool text_kind_of(const std::string& path, TextKind* kind);

// Reads one text. Errors are added to errs (reading goes on to report more).
void parse_text(const std::string& path, const std::string& content, TextKind kind, Text* out,
                Errors* errs);

// Unquotes a value written in quotes; false on a quote left open.
bool unquote(const std::string& in, std::string* out);

// Splits a description into words (double-quoted words may hold blanks);
// each word's column is its offset from the start of the text.
struct Word {
  std::string text;
  int col = 0;  // offset into the text, from 0
  bool quoted = false;
};
bool split_words(const std::string& text, std::vector<Word>* out, int* bad_col);

}  // namespace qg
