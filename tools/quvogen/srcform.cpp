// The source form's reader: see srcform.h.
#include "srcform.h"

#include <cctype>

namespace qg {

std::string Error::str() const {
  if (at.line == 0) return at.file + ": " + text;  // a directory, not a place in a text
  return at.file + ":" + std::to_string(at.line) + ":" + std::to_string(at.col) + ": " + text;
}

std::string Errors::str() const {
  std::string s;
  for (const Error& e : list) s += e.str() + "\n";
  return s;
}

const Entry* Block::find(const std::string& name) const {
  for (const Entry& e : entries)
    if (e.name == name) return &e;
  return nullptr;
}

bool text_kind_of(const std::string& path, TextKind* kind) {
  auto ends = [&](const char* suf) {
    std::string s(suf);
    return path.size() > s.size() && path.compare(path.size() - s.size(), s.size(), s) == 0;
  };
  if (ends(".def")) *kind = TextKind::Defs;
  else if (ends(".rec")) *kind = TextKind::Records;
  else if (ends(".proc")) *kind = TextKind::Process;
  else return false;
  return true;
}

bool unquote(const std::string& in, std::string* out) {
  out->clear();
  size_t i = 1;
  while (i < in.size()) {
    if (in[i] == '"') {
      if (i + 1 < in.size() && in[i + 1] == '"') {
        out->push_back('"');
        i += 2;
        continue;
      }
      return i + 1 == in.size();
    }
    out->push_back(in[i++]);
  }
  return false;
}

bool split_words(const std::string& text, std::vector<Word>* out, int* bad_col) {
  out->clear();
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    Word w;
    w.col = int(i);
    if (text[i] == '"') {
      w.quoted = true;
      size_t j = i + 1;
      bool closed = false;
      while (j < text.size()) {
        if (text[j] == '"') {
          if (j + 1 < text.size() && text[j + 1] == '"') {
            w.text.push_back('"');
            j += 2;
            continue;
          }
          closed = true;
          ++j;
          break;
        }
        w.text.push_back(text[j++]);
      }
      if (!closed) {
        *bad_col = int(i);
        return false;
      }
      i = j;
    } else {
      while (i < text.size() && text[i] != ' ' && text[i] != '\t') w.text.push_back(text[i++]);
    }
    out->push_back(std::move(w));
  }
  return true;
}

namespace {

std::string trim(const std::string& s, size_t* lead = nullptr) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
  if (lead) *lead = a;
  return s.substr(a, b - a);
}

// The headers each kind of text allows, and the header each must sit under.
struct Rule {
  const char* kind;
  const char* parent;  // "" top level; else the kind of the enclosing block
  int min_args, max_args;
};
const Rule kDefs[] = {{"file", "", 2, 6}, {"work", "", 0, 0}, {"application", "", 0, 0}};
const Rule kRecs[] = {{"records", "", 1, 1}, {"record", "", 0, 0}};
const Rule kProc[] = {{"process", "", 1, 1}, {"frame", "process", 1, 1}, {"image", "frame", 1, 1},
                      {"item", "image", 1, 1}, {"chr", "image", 1, 1}, {"option", "image", 3, 3},
                      {"child", "frame", 3, 3}};

template <size_t N>
const Rule* find_rule(const Rule (&rules)[N], const std::string& kind) {
  for (const Rule& r : rules)
    if (kind == r.kind) return &r;
  return nullptr;
}

const Rule* rule_of(TextKind tk, const std::string& kind) {
  switch (tk) {
    case TextKind::Defs: return find_rule(kDefs, kind);
    case TextKind::Records: return find_rule(kRecs, kind);
    case TextKind::Process: return find_rule(kProc, kind);
  }
  return nullptr;
}

// A header begins in column 1 with a lower-case word and has no '=' (but
// "option N = NAME"); entry names may be lower case ("proc_name").
bool is_header(TextKind tk, const std::string& line) {
  if (line.empty() || !std::islower(static_cast<unsigned char>(line[0]))) return false;
  std::string kw = line.substr(0, line.find(' '));
  if ((kw == "option" || kw == "child") && tk == TextKind::Process) return true;
  if (line.find('=') != std::string::npos) return false;
  // a lower-case word without '=' is a header, known or not (unknown ones are refused)
  for (char c : kw)
    if (!std::islower(static_cast<unsigned char>(c))) return false;
  return true;
}

struct Reader {
  const std::string& path;
  TextKind tk;
  Text* out;
  Errors* errs;
  // innermost open block of each nesting kind, as an index into out->blocks
  int last_of(const std::string& kind) const {
    for (int i = int(out->blocks.size()) - 1; i >= 0; --i)
      if (out->blocks[size_t(i)].kind == kind) return i;
    return -1;
  }
  Pos at(int line, int col) const { return Pos{path, line, col}; }

  void header(const std::string& line, int ln) {
    std::string kw = line.substr(0, line.find(' '));
    const Rule* r = rule_of(tk, kw);
    if (!r) {
      errs->add(at(ln, 1), "unknown header \"" + kw + "\" in this kind of text");
      return;
    }
    Block b;
    b.kind = kw;
    b.at = at(ln, 1);
    std::string rest = kw.size() < line.size() ? line.substr(kw.size()) : "";
    std::vector<Word> words;
    int bad = 0;
    if (!split_words(rest, &words, &bad)) {
      errs->add(at(ln, int(kw.size()) + bad + 1), "quote not closed");
      return;
    }
    if (kw == "process") {
      // process NAME: the rest of the line (blanks inside the name kept)
      size_t lead = 0;
      std::string name = trim(rest, &lead);
      if (!name.empty() && name[0] == '"' && !unquote(name, &name)) {
        errs->add(at(ln, int(kw.size() + lead) + 1), "quote not closed");
        return;
      }
      if (!name.empty()) b.args.push_back({name, at(ln, int(kw.size() + lead) + 1), false});
    } else if (kw == "option" || kw == "child") {
      // option N = PROCESS NAME (a child of the image, chosen by its
      // number) or child N = PROCESS NAME (an automatic child of the frame):
      // the name is the rest after '=' (blanks kept inside)
      size_t eq = rest.find('=');
      if (words.empty() || eq == std::string::npos) {
        errs->add(b.at, "expected \"" + kw + " N = PROCESS NAME\"");
        return;
      }
      size_t lead = 0;
      std::string name = trim(rest.substr(eq + 1), &lead);
      if (name.empty()) {
        errs->add(at(ln, int(kw.size() + eq) + 2), kw + " names no process");
        return;
      }
      b.args.push_back({words[0].text, at(ln, int(kw.size()) + words[0].col + 1), false});
      b.args.push_back({"=", at(ln, int(kw.size() + eq) + 1), false});
      b.args.push_back({name, at(ln, int(kw.size() + eq + 1 + lead) + 1), false});
    } else {
      for (const Word& w : words)
        b.args.push_back({w.text, at(ln, int(kw.size()) + w.col + 1), w.quoted});
    }
    int n = int(b.args.size());
    if (n < r->min_args || n > r->max_args) {
      errs->add(b.at, "\"" + kw + "\" takes " +
                          (r->min_args == r->max_args ? std::to_string(r->min_args)
                                                      : std::to_string(r->min_args) + " to " +
                                                            std::to_string(r->max_args)) +
                          " argument(s), not " + std::to_string(n));
      return;
    }
    // Placement: the first header of a records or process text is its
    // "records"/"process" line, once; nested headers need their parent.
    bool first = out->blocks.empty();
    if (tk == TextKind::Records) {
      if (first != (kw == "records")) {
        errs->add(b.at, first ? "a records text begins with \"records FILE\""
                              : "\"records\" only once, at the start");
        return;
      }
    } else if (tk == TextKind::Process) {
      if (first != (kw == "process")) {
        errs->add(b.at, first ? "a process text begins with \"process NAME\""
                              : "one process to a text");
        return;
      }
      if (*r->parent) {
        // the enclosing block: the last frame for an image, the last image
        // for items, characteristics and options (after any later frame? no)
        int p = last_of(r->parent);
        int f = kw == "image" || kw == "frame" ? -1 : last_of("frame");
        if (p < 0 || (f > p)) {
          errs->add(b.at, "\"" + kw + "\" outside " + r->parent);
          return;
        }
      }
    }
    out->blocks.push_back(std::move(b));
  }

  void entry(const std::string& raw, int ln) {
    size_t eq = raw.find('=');
    size_t lead = 0;
    std::string t = trim(raw, &lead);
    if (eq == std::string::npos) {
      errs->add(at(ln, int(lead) + 1), "expected \"NAME = value\" or a header");
      return;
    }
    if (out->blocks.empty()) {
      errs->add(at(ln, int(lead) + 1), "entry before any header");
      return;
    }
    Entry e;
    size_t nlead = 0, vlead = 0;
    e.name = trim(raw.substr(0, eq), &nlead);
    std::string v = trim(raw.substr(eq + 1), &vlead);
    e.name_at = at(ln, int(nlead) + 1);
    e.value_at = at(ln, int(eq + 1 + vlead) + 1);
    if (e.name.empty()) {
      errs->add(at(ln, int(eq) + 1), "entry without a name");
      return;
    }
    if (!v.empty() && v[0] == '"') {
      if (!unquote(v, &e.value)) {
        errs->add(e.value_at, "quote not closed (or text after it)");
        return;
      }
      e.quoted = true;
    } else {
      e.value = v;
    }
    Block& b = out->blocks.back();
    for (const Entry& o : b.entries)
      if (o.name == e.name) {
        errs->add(e.name_at, "\"" + e.name + "\" given twice (first at line " +
                                 std::to_string(o.name_at.line) + ")");
        return;
      }
    b.entries.push_back(std::move(e));
  }

  void screen_row(Block& img, const std::string& raw, int ln) {
    size_t lead = 0;
    std::string t = trim(raw, &lead);
    if (t.empty() || t[0] != '|') {
      errs->add(at(ln, int(lead) + 1), "a screen row is drawn between two '|'");
      return;
    }
    size_t end = raw.find('|', lead + 1);
    if (end == std::string::npos) {
      errs->add(at(ln, int(raw.size()) + 1), "screen row not closed by '|'");
      return;
    }
    std::string row = raw.substr(lead + 1, end - lead - 1);
    int rowno = int(img.rows.size()) + 1;
    for (size_t i = 0; i < row.size(); ++i) {
      if (row[i] != '@') continue;
      Item it;
      it.at = at(ln, int(lead + 1 + i) + 1);
      if (i + 1 >= row.size() || row[i + 1] == ' ' || row[i + 1] == '_' || row[i + 1] == '|') {
        errs->add(it.at, "item marker '@' without its character");
        continue;
      }
      it.marker = row[i + 1];
      it.row = rowno;
      it.col = int(i) + 1;
      size_t j = i + 2;
      while (j < row.size() && row[j] == '_') ++j;
      it.width = int(j - i);
      for (const Item& o : img.items)
        if (o.marker == it.marker) {
          errs->add(it.at, std::string("item marker '") + it.marker + "' drawn twice");
          break;
        }
      for (size_t k = i; k < j; ++k) row[k] = ' ';
      img.items.push_back(it);
      i = j - 1;
    }
    img.rows.push_back(row);
    img.rows_at.push_back(at(ln, int(lead) + 1));
  }
};

}  // namespace

void parse_text(const std::string& path, const std::string& content, TextKind kind, Text* out,
                Errors* errs) {
  out->path = path;
  out->kind = kind;
  out->blocks.clear();
  Reader r{path, kind, out, errs};
  size_t pos = 0;
  int ln = 0;
  int screen_of = -1;  // index of the image whose screen is open
  int screen_line = 0;
  while (pos <= content.size()) {
    size_t nl = content.find('\n', pos);
    if (nl == std::string::npos) nl = content.size();
    std::string line = content.substr(pos, nl - pos);
    pos = nl + 1;
    ++ln;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (size_t i = 0; i < line.size(); ++i)
      if (line[i] == '\t' || static_cast<unsigned char>(line[i]) < 32) {
        if (line[i] == '\t') continue;
        errs->add(r.at(ln, int(i) + 1), "control character in the text");
        line[i] = ' ';
      }
    std::string t = trim(line);
    if (t.empty() && nl == content.size()) break;  // after the last line end
    if (screen_of >= 0) {
      if (t == "end screen") {
        screen_of = -1;
        continue;
      }
      if (!t.empty() && t[0] == '#') continue;
      if (t.empty() || t[0] == '|' || !is_header(kind, line)) {
        r.screen_row(out->blocks[size_t(screen_of)], line, ln);
        continue;
      }
      // a header ends the text's screen: its "end screen" is missing
      errs->add(r.at(screen_line, 1), "\"screen\" without \"end screen\" (before line " + std::to_string(ln) + ")");
      screen_of = -1;
    }
    if (t.empty() || t[0] == '#') {
      if (nl == content.size()) break;
      continue;
    }
    if (line == "screen" || line.rfind("screen ", 0) == 0) {
      if (kind != TextKind::Process || out->blocks.empty() || out->blocks.back().kind != "image") {
        errs->add(r.at(ln, 1), "\"screen\" belongs right after an image's header and entries");
      } else if (!out->blocks.back().rows.empty()) {
        errs->add(r.at(ln, 1), "the image has a screen already");
      } else {
        screen_of = int(out->blocks.size()) - 1;
        screen_line = ln;
      }
      continue;
    }
    if (is_header(kind, line)) r.header(line, ln);
    else r.entry(line, ln);
    if (nl == content.size()) break;
  }
  if (screen_of >= 0) errs->add(r.at(screen_line, 1), "\"screen\" without \"end screen\"");
  if (kind == TextKind::Records && out->blocks.empty() && errs->list.empty())
    errs->add(r.at(1, 1), "a records text begins with \"records FILE\"");
  if (kind == TextKind::Process && out->blocks.empty() && errs->list.empty())
    errs->add(r.at(1, 1), "a process text begins with \"process NAME\"");
}

}  // namespace qg
