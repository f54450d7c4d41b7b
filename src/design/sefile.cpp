// Statement blocks: see sefile.h.
#include "design/sefile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

std::string cut(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

const char* kind_name(int k) {
  static const char* const names[26] = {
      "",          "text",        "application", "field",      "occurrence", "appearance",
      "process",   "invocation",  "digit 0-3",   "comparison", "operator",   "Y/N",
      "digit 0-9", "count",       "file",        "IN/EX",      "loop letter", "loop bound",
      "digit 1-8", "area",        "area",        "L/S",        "word",       "FROM/INTO",
      "digit 0-2", ""};
  return k >= 0 && k < 26 ? names[k] : "";
}

}  // namespace

SeBlockKey se_block_key(const DStmt& s) {
  SeBlockKey k;
  k.proc_type = s.proc_type;
  k.proc_name = s.proc_name.str();
  k.frame_class = s.frame_class;
  k.frame_no = s.frame_no;
  k.image_no = s.image_no;
  k.child_disc = s.child_disc;
  k.child_no = s.child_no;
  k.event_point = s.event_point;
  return k;
}

void se_stmt_init(DStmt* s, const SeBlockKey& k) {
  std::memset(static_cast<void*>(s), ' ', sizeof *s);
  s->proc_type = k.proc_type;
  s->proc_name.set(k.proc_name);
  s->frame_class = k.frame_class;
  s->frame_no = k.frame_no;
  s->image_no = k.image_no;
  s->child_disc = k.child_disc;
  s->child_no = k.child_no;
  s->event_point = k.event_point;
  s->seq = 0;
  s->b52.zero();
  std::memset(s->added.data(), 0xFF, 8);     // no stamp
  std::memset(s->changed.data(), 0xFF, 8);
  s->verb = 0;
  s->b86.zero();
}

std::string se_block_header(const SeBlockKey& k) {
  std::string h = "statements " + std::to_string(k.event_point);
  if (k.frame_class || k.frame_no) h += " frame " + std::to_string(k.frame_class) + " " + std::to_string(k.frame_no);
  if (k.image_no) h += " image " + std::to_string(k.image_no);
  if (k.child_disc || k.child_no) h += " child " + std::to_string(k.child_disc) + " " + std::to_string(k.child_no);
  return h;
}

bool se_parse_block_header(const std::string& line, SeBlockKey* key, int* col) {
  struct W {
    std::string t;
    int col;
  };
  std::vector<W> w;
  for (size_t i = 0; i < line.size();) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t b = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > b) w.push_back({line.substr(b, i - b), int(b) + 1});
  }
  auto num = [&](size_t i, unsigned long max, unsigned long* out) {
    if (i >= w.size()) {
      *col = int(line.size()) + 1;
      return false;
    }
    char* end = nullptr;
    const std::string& t = w[i].t;
    unsigned long v = std::strtoul(t.c_str(), &end, 10);
    if (t.empty() || *end || t[0] == '-' || v > max) {
      *col = w[i].col;
      return false;
    }
    *out = v;
    return true;
  };
  *col = 1;
  if (w.empty() || w[0].t != "statements") return false;
  unsigned long v = 0, v2 = 0;
  if (!num(1, 255, &v)) return false;
  key->event_point = uint8_t(v);
  key->frame_class = 0;
  key->frame_no = 0;
  key->image_no = 0;
  key->child_disc = 0;
  key->child_no = 0;
  for (size_t i = 2; i < w.size();) {
    if (w[i].t == "frame") {
      if (!num(i + 1, 255, &v) || !num(i + 2, 0xFFFFFFFFul, &v2)) return false;
      key->frame_class = uint8_t(v);
      key->frame_no = uint32_t(v2);
      i += 3;
    } else if (w[i].t == "image") {
      if (!num(i + 1, 255, &v)) return false;
      key->image_no = uint8_t(v);
      i += 2;
    } else if (w[i].t == "child") {
      if (!num(i + 1, 255, &v) || !num(i + 2, 0xFFFFFFFFul, &v2)) return false;
      key->child_disc = uint8_t(v);
      key->child_no = uint32_t(v2);
      i += 3;
    } else {
      *col = w[i].col;
      return false;
    }
  }
  return true;
}

int se_read_block(const SeBlockKey& key, const std::vector<std::string>& lines, const std::string& file,
                  int first_line, SeValidator* validator, std::vector<DStmt>* out,
                  std::vector<std::string>* errors, std::vector<std::string>* warnings) {
  int refused = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    DStmt s;
    se_stmt_init(&s, key);
    SeLineState st;
    st.text = lines[i].data();
    st.len = int(lines[i].size());
    st.validator = validator;
    int col = 0, second = 0;
    int line_no = first_line + int(i);
    if (!se_degen_stmt(st, s, &col, &second)) {
      ++refused;
      if (errors) errors->push_back(se_refusal_text(file, line_no, st, col, second));
      continue;
    }
    if (st.warning && warnings)
      warnings->push_back(file + ":" + std::to_string(line_no) + ":" + std::to_string(col) + ": " +
                          se_warning_text(st));
    s.seq = uint32_t(100 * (out->size() + 1));
    out->push_back(s);
  }
  return refused;
}

std::vector<std::string> se_write_block(const std::vector<DStmt>& stmts) {
  std::vector<std::string> out;
  char line[kSeLineLen];
  for (const DStmt& s : stmts) {
    se_list_stmt(s, line, kSeLineLen);
    out.push_back(cut(std::string(line, kSeLineLen)));
  }
  return out;
}

std::vector<std::string> se_verb_template(int verb) {
  std::vector<std::string> out;
  if (verb < 0 || verb >= kSeVerbs) return out;
  DStmt s;
  std::memset(static_cast<void*>(&s), ' ', sizeof s);
  s.verb = uint16_t(verb);
  char line[kSeLineLen];
  se_list_stmt(s, line, kSeLineLen);
  out.push_back(cut(std::string(line, kSeLineLen)));
  std::string marks(kSeLineLen, ' ');
  int n = 0;
  const XmeEntry* run = xme_run(verb, &n);
  std::vector<std::string> legend;
  char letter = 'a';
  for (int i = 0; i < n; ++i) {
    const XmeEntry& e = run[i];
    if (e.kind == kSeRest) continue;
    for (int c = 0; c < e.len; ++c) marks[size_t(kSeOpCol - 1 + e.col + c)] = letter;
    char b[96];
    std::snprintf(b, sizeof b, "%c column %d width %d %s: %s%s", letter, se_entry_col(e), int(e.len),
                  xme_name(verb, i), kind_name(e.kind), (e.flags & kXmeRequired) ? ", required" : "");
    legend.push_back(b);
    ++letter;
  }
  out.push_back(cut(marks));
  out.insert(out.end(), legend.begin(), legend.end());
  return out;
}
