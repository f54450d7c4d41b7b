// Statement blocks: see sefile.h.
#include "design/sefile.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"

namespace {

std::string cut(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

const char* kind_name(int k) {
  static const char* const names[26] = {
      "",          "text",        "application", "field",      "occurrence", "appearance",
      "process",   "invocation",  "digit 0-3 (on failure: 0 nothing, 1 a warning, 2 an error, 3 cancel)",
      "comparison", "operator",   "Y/N",
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
    // digits only (no sign), within the field; an overflow reads as ULONG_MAX
    if (t.empty() || *end || t[0] < '0' || t[0] > '9' || v > max) {
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

namespace {

// Reads one statement line into a record appended to out, the block's key
// taken from proto; a refused line is left out. 1 read, 0 refused.
int read_line(const DStmt& proto, const char* text, int len, const std::string& file, int line_no,
              SeLineState& st, std::vector<DStmt>* out, std::vector<std::string>* errors,
              std::vector<std::string>* warnings, std::vector<int>* line_nos) {
  out->push_back(proto);
  DStmt& s = out->back();
  st.text = text;
  st.len = len;
  int col = 0, second = 0;
  if (!se_degen_stmt(st, s, &col, &second)) {
    out->pop_back();
    if (errors) errors->push_back(se_refusal_text(file, line_no, st, col, second));
    return 0;
  }
  if (st.warning && warnings)
    warnings->push_back(file + ":" + std::to_string(line_no) + ":" + std::to_string(col) + ": " +
                        se_warning_text(st));
  s.seq = uint32_t(100 * out->size());
  if (line_nos) line_nos->push_back(line_no);
  return 1;
}

}  // namespace

int se_read_block(const SeBlockKey& key, const std::vector<std::string>& lines, const std::string& file,
                  int first_line, SeValidator* validator, std::vector<DStmt>* out,
                  std::vector<std::string>* errors, std::vector<std::string>* warnings,
                  std::vector<int>* line_nos) {
  DStmt proto;
  se_stmt_init(&proto, key);
  SeLineState st;
  st.validator = validator;
  int refused = 0;
  for (size_t i = 0; i < lines.size(); ++i)
    refused += 1 - read_line(proto, lines[i].data(), int(lines[i].size()), file, first_line + int(i), st, out,
                             errors, warnings, line_nos);
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
    char b[160];
    std::snprintf(b, sizeof b, "%c column %d width %d %s: %s%s", letter, se_entry_col(e), int(e.len),
                  xme_name(verb, i), kind_name(e.kind), (e.flags & kXmeRequired) ? ", required" : "");
    legend.push_back(b);
    ++letter;
  }
  out.push_back(cut(marks));
  out.insert(out.end(), legend.begin(), legend.end());
  return out;
}

// ------------------------------------------------------ statement files --

namespace {

const char* const kTypeWords[11] = {"",       "menu",       "input",  "output", "action", "query",
                                    "subroutine", "update", "job",    "inquiry", "status"};
const char* const kTypeNames[11] = {"",       "Menu",       "Input",  "Output", "Action", "Query",
                                    "Subroutine", "Update", "Job",    "Inquiry", "Status"};

bool starts(const std::string& l, const char* word) {
  size_t n = std::strlen(word);
  return l.compare(0, n, word) == 0 && (l.size() == n || l[n] == ' ');
}

// The newlines of n bytes, eight at a time.
size_t count_newlines(const char* p, size_t n) {
  constexpr uint64_t kLow = 0x7f7f7f7f7f7f7f7full, kHigh = 0x8080808080808080ull, kNl = 0x0a0a0a0a0a0a0a0aull;
  size_t count = 0, i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    w ^= kNl;
    // the high bit of each byte that is not zero, exactly
    uint64_t nonzero = (((w & kLow) + kLow) | w) & kHigh;
    count += 8 - size_t(((nonzero >> 7) * 0x0101010101010101ull) >> 56);   // (the sum of the bytes' bits)
  }
  for (; i < n; ++i) count += p[i] == '\n';
  return count;
}

// The statement lines read so far that another line of the same text reads
// like (SeLineState::repeatable), by their text, each with what it gave:
// the T/F column, verb and operand area of its record. Statement files say
// many lines again and again (END, comments, the same SET or IF), and such
// a line is then a look-up and a copy. A line's text and what it gave are
// kept together, so that a look-up reads one place besides its slot (and
// the reader fetches the slot of the next line while it reads this one).
class LineMemo {
 public:
  // A hash of a line's text: four lanes of eight-byte words side by side
  // (the words of one line do not wait for each other), then mixed.
  static uint64_t hash(const char* text, size_t len) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    auto word = [&](size_t at) {
      uint64_t w;
      std::memcpy(&w, text + at, 8);
      return w;
    };
    uint64_t lane[4] = {len * 0xBF58476D1CE4E5B9ull, 0x94D049BB133111EBull, 0xD6E8FEB86659FD93ull, kMul};
    size_t i = 0;
    for (; i + 32 <= len; i += 32)
      for (int k = 0; k < 4; ++k) lane[k] = (lane[k] ^ word(i + 8 * size_t(k))) * kMul;
    for (int k = 0; i + 8 <= len; i += 8, ++k) lane[k] = (lane[k] ^ word(i)) * kMul;
    if (i < len) {
      uint64_t w = 0;
      if (len >= 8) {
        w = word(len - 8);   // (the last eight bytes, some read before)
      } else {
        for (size_t j = 0; j < len; ++j) w |= uint64_t(uint8_t(text[j])) << (8 * j);
      }
      lane[3] = (lane[3] ^ w) * 0xBF58476D1CE4E5B9ull;
    }
    uint64_t h = lane[0] ^ std::rotl(lane[1], 17) ^ std::rotl(lane[2], 31) ^ std::rotl(lane[3], 47);
    h = (h ^ (h >> 31)) * 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 29);
  }
  void prefetch(uint64_t h) const { __builtin_prefetch(&slots_[h & (slots_.size() - 1)]); }
  // Fetches what a line of that hash may have given, when its slot (fetched
  // a while before) tells where.
  void prefetch_gave(uint64_t h) const {
    const Slot& s = slots_[h & (slots_.size() - 1)];
    if (!s.len || s.tag != uint32_t(h >> 32)) return;
    const uint8_t* p = store_.data() + s.at;
    for (size_t o = 0; o < sizeof(Gave) + s.len; o += 64) __builtin_prefetch(p + o);
  }
  // What an earlier line of this text gave, null for none; *slot where a
  // new one goes.
  const uint8_t* find(const char* text, size_t len, uint64_t h, size_t* slot) const {
    const size_t mask = slots_.size() - 1;
    const uint32_t tag = uint32_t(h >> 32);
    size_t i = h & mask;
    for (; slots_[i].len; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.tag != tag || s.len != len) continue;
      const uint8_t* at = store_.data() + s.at;
      if (std::memcmp(at + sizeof(Gave), text, len) == 0) return at;
    }
    *slot = i;
    return nullptr;
  }
  // Room for lines of `bytes` of text in all, `lines` of them: a store that
  // grew a doubling at a time would copy what it kept at each step.
  void reserve(size_t bytes, size_t lines) { store_.reserve(bytes + lines * sizeof(Gave)); }
  // Keeps the line at the slot find gave (not when the store has no room
  // for it: 4 GiB); the table doubles at half full.
  void add(const char* text, size_t len, uint64_t h, size_t slot, const DStmt& rec) {
    const size_t at = store_.size();
    if (at + sizeof(Gave) + len >= UINT32_MAX) return;
    Gave g;
    std::memcpy(g.tf, rec.tf.data(), sizeof g.tf);
    g.verb = rec.verb;
    std::memcpy(g.ops, rec.ops.data(), sizeof g.ops);
    store_.resize(at + sizeof(Gave) + len);
    std::memcpy(store_.data() + at, &g, sizeof g);
    std::memcpy(store_.data() + at + sizeof(Gave), text, len);
    slots_[slot] = Slot{uint32_t(h >> 32), uint32_t(len), uint32_t(at)};
    if (2 * ++count_ <= slots_.size()) return;
    std::vector<Slot> old(2 * slots_.size(), Slot{});
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (!s.len) continue;
      size_t j = hash(reinterpret_cast<const char*>(store_.data()) + s.at + sizeof(Gave), s.len) & mask;
      while (slots_[j].len) j = (j + 1) & mask;
      slots_[j] = s;
    }
  }
  // Sets what a line gave (find) into a record.
  static void give(const uint8_t* gave, DStmt* rec) {
    Gave g;
    std::memcpy(&g, gave, sizeof g);
    std::memcpy(rec->tf.data(), g.tf, sizeof g.tf);
    rec->verb = g.verb;
    std::memcpy(rec->ops.data(), g.ops, sizeof g.ops);
  }

 private:
  // What a line gave, kept before its text.
  struct Gave {
    uint8_t tf[5];
    uint16_t verb;
    uint8_t ops[sizeof(DStmt::ops)];
  };
  struct Slot {
    uint32_t tag;   // the hash's high half
    uint32_t len;   // the text's length; 0: free
    uint32_t at;    // where the line is kept in the store
  };
  std::vector<Slot> slots_ = std::vector<Slot>(1024, Slot{});
  std::vector<uint8_t> store_;
  size_t count_ = 0;
};

}  // namespace

int se_proc_type_code(const std::string& word) {
  if (word.empty()) return 0;
  if (word.find_first_not_of("0123456789") == std::string::npos) {
    int n = word.size() <= 2 ? std::atoi(word.c_str()) : 0;
    return n >= 1 && n <= 10 ? n : 0;
  }
  for (int t = 1; t <= 10; ++t)
    if (strcasecmp(word.c_str(), kTypeWords[t]) == 0) return t;
  return 0;
}

const char* se_proc_type_name(int type) { return type >= 1 && type <= 10 ? kTypeNames[type] : "process"; }

int se_read_file(const std::string& path, const std::string& content, SeValidator* validator,
                 SeFileResult* out, const SeProcCheck& procs) {
  // A record a line at most: room for them all at once, not grown (and
  // every record moved) a doubling at a time.
  size_t n_lines = 1 + count_newlines(content.data(), content.size());
  const size_t had = out->stmts.size();
  out->stmts.reserve(out->stmts.size() + n_lines);
  out->lines.reserve(out->lines.size() + n_lines);
  int errors = 0;
  auto error = [&](int line, int col, const std::string& text) {
    out->errors.push_back(path + ":" + std::to_string(line) + ":" + std::to_string(col) + ": " + text);
    ++errors;
  };
  SeBlockKey key;
  DStmt proto;   // a record of the current block before its line is read
  SeLineState st;
  st.validator = validator;
  bool have_proc = false, have_block = false;
  // After a refused header its lines are left out without an error each:
  // the header's error says it all.
  bool skipping = false;
  const char* const text = content.data();
  LineMemo memo;
  memo.reserve(content.size(), n_lines);   // (every line kept at most once)
  const size_t size = content.size();
  int n = 0;
  // Each line's end and hash are found a line ahead: the memo's slot of a
  // line is fetched while the line before it is read.
  auto line_at = [&](size_t from, size_t* end, size_t* len) {
    const char* nl = static_cast<const char*>(std::memchr(text + from, '\n', size - from));
    *end = nl ? size_t(nl - text) : size;
    *len = *end - from;
    if (*len && text[*end - 1] == '\r') --*len;
  };
  size_t next_e = 0, next_len = 0;
  uint64_t next_hash = 0;
  if (size) {
    line_at(0, &next_e, &next_len);
    next_hash = LineMemo::hash(text, next_len);
  }
  // When a line is done, what the next one may take from the memo is
  // fetched (its slot was fetched when the line began).
  struct ThenFetch {
    const LineMemo& memo;
    const uint64_t& hash;
    bool more = false;
    ~ThenFetch() {
      if (more) memo.prefetch_gave(hash);
    }
  };
  for (size_t b = 0; b < size;) {
    const size_t e = next_e, len = next_len;
    const uint64_t line_hash = next_hash;
    const char* ln = text + b;
    b = e + 1;
    ThenFetch then{memo, next_hash};
    if (b < size) {
      line_at(b, &next_e, &next_len);
      next_hash = LineMemo::hash(text + b, next_len);
      memo.prefetch(next_hash);
      then.more = true;
    }
    ++n;
    if (len == 0 || ln[0] == '#') continue;
    auto statement_line = [&] {
      if (!have_block) {
        if (!skipping) error(n, 1, "statement outside a block");
        skipping = true;
        return;
      }
      // A line said before reads as it did: the record it gave, in this
      // block's key.
      const uint64_t h = line_hash;
      size_t slot = 0;
      if (const uint8_t* gave = memo.find(ln, len, h, &slot)) {
        out->stmts.push_back(proto);
        DStmt& s = out->stmts.back();
        LineMemo::give(gave, &s);
        s.seq = uint32_t(100 * out->stmts.size());
        out->lines.push_back(n);
      } else if (!read_line(proto, ln, int(len), path, n, st, &out->stmts, &out->errors, &out->warnings,
                            &out->lines)) {
        ++errors;
        return;
      } else if (st.repeatable) {
        memo.add(ln, len, h, slot, out->stmts.back());
      }
      // Its sequence while the record before it is still at hand.
      const size_t i = out->stmts.size() - 1;
      if (i > had) {
        DStmt& s = out->stmts[i];
        const DStmt& p = out->stmts[i - 1];
        s.seq = std::memcmp(&p, &s, 48) == 0 ? p.seq + 100 : 100;
      }
    };
    if (ln[0] != 's' && ln[0] != 'p') {   // (no header begins otherwise)
      statement_line();
      continue;
    }
    std::string l(ln, len);
    if (starts(l, "process")) {
      have_block = false;
      have_proc = false;
      skipping = true;
      size_t p = 7;
      while (p < l.size() && l[p] == ' ') ++p;
      size_t q = p;
      while (q < l.size() && l[q] != ' ') ++q;
      int type = se_proc_type_code(l.substr(p, q - p));
      if (!type || q >= l.size()) {
        error(n, int(p) + 1, "process type (1-10 or menu, input, output, action, query, subroutine, update, job, "
                             "inquiry, status) and name expected");
        continue;
      }
      std::string name = cut(l.substr(q + 1));
      size_t lead = 0;
      while (lead < name.size() && name[lead] == ' ') ++lead;
      name.erase(0, lead);
      if (name.empty() || name.size() > 30) {
        error(n, int(q + lead) + 2, "process name of 1 to 30 characters expected");
        continue;
      }
      if (procs) {
        std::string why = procs(type, name);
        if (!why.empty()) {
          error(n, int(p) + 1, why);
          continue;
        }
      }
      key.proc_type = uint8_t(type);
      key.proc_name = name;
      out->procs.push_back({type, name, n});
      have_proc = true;
      skipping = false;
      continue;
    }
    if (starts(l, "statements")) {
      int col = 0;
      have_block = false;
      if (!have_proc) {
        // one error for a process header that is missing, none when it was refused
        if (!skipping) error(n, 1, "statements before a process header");
        skipping = true;
      } else if (!se_parse_block_header(l, &key, &col)) {
        error(n, col, "block header: statements EP [frame C N] [image N] [child D N]");
        skipping = true;
      } else {
        have_block = true;
        skipping = false;
        se_stmt_init(&proto, key);
      }
      continue;
    }
    statement_line();
  }
  // Sequences count per block, whatever runs of lines it was read in (each
  // record's but the first new one's set as it was read; records the caller
  // had take theirs again from the start).
  uint32_t seq = 0;
  const size_t upto = had ? out->stmts.size() : std::min<size_t>(1, out->stmts.size());
  for (size_t i = 0; i < upto; ++i) {
    bool same = i > 0 && std::memcmp(&out->stmts[i - 1], &out->stmts[i], 48) == 0;
    seq = same ? seq + 100 : 100;
    out->stmts[i].seq = seq;
  }
  return errors;
}

std::string se_write_file(const std::vector<DStmt>& stmts) {
  std::string out;
  const DStmt* prev = nullptr;
  char line[kSeLineLen];
  for (const DStmt& s : stmts) {
    if (!prev || prev->proc_type != s.proc_type || !(prev->proc_name == s.proc_name)) {
      if (prev) out += "\n";
      out += "process " + std::to_string(int(s.proc_type)) + " " + s.proc_name.str() + "\n";
      prev = nullptr;
    }
    if (!prev || std::memcmp(prev, &s, 48) != 0) out += se_block_header(se_block_key(s)) + "\n";
    se_list_stmt(s, line, kSeLineLen);
    out += cut(std::string(line, kSeLineLen)) + "\n";
    prev = &s;
  }
  return out;
}

namespace {

// expect: the records a created file is to take (a memory file makes room
// for them at once).
FmArb* open_stmt(const char* app, const char* ver, bool create, bool memory, uint32_t* status, size_t expect = 0) {
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmKdb), FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), FM_CAT_SDB_AREA));
  FmFdb fdb;
  INIT_DSTMT_FDB(&fdb, kdb, sdb, app, app[0] == '0' ? "00" : ver);
  if (memory) fdb.fclass = FM_CLASS_MEMORY;
  uint32_t want = memory && expect < 10000000 ? uint32_t(expect) : 0;
  int ok = create ? FM_CREATE(&fdb, com.depth, want, FM_OPT_CREATE | FM_OPT_NO_SYSDIR, 3, 15)
                  : FM_OPEN(&fdb, com.depth, FM_OPT_NO_SYSDIR, 1, 15);
  mm_destroy_pool(pool);
  if (!ok && status) *status = fdb.status;
  return ok ? fdb.handle.get() : nullptr;
}

}  // namespace

int se_list_dict(const char* app, const char* ver, SeDict* dict, std::vector<DStmt>* out, uint32_t* status) {
  FmArb* a = open_stmt(app, ver, false, dict && dict->memory(), status);
  if (!a) return 0;
  MmPool pool = mm_create_pool(nullptr, com.depth, 0);
  auto* buf = static_cast<DStmt*>(MM_ALLOC(pool, sizeof(DStmt)));
  PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(buf));
  int ok = 1;
  std::unique_ptr<SeDict> own;
  while (fm_rdnxt(a)) {
    DStmt s = *buf;
    (void)cnv_token(s, ver, 1, 1, cnv_token_dict(s, ver, dict, own));   // a refusal leaves the stored number
    out->push_back(s);
  }
  if (a->status != FM_ST_EOF) {
    ok = 0;
    if (status) *status = a->status;
  }
  (void)FM_CLOSE(a, 0);
  mm_destroy_pool(pool);
  return ok;
}

int se_store_dict(const char* app, const char* ver, SeDict* dict, const std::vector<DStmt>& stmts,
                  std::vector<std::string>* errors, bool memory) {
  uint32_t st = 0;
  FmArb* a = open_stmt(app, ver, true, memory, &st, stmts.size());
  if (!a) {
    if (errors) errors->push_back("STMT file of " + std::string(app, 3) + " cannot be opened: status " + std::to_string(st));
    return -1;
  }
  int written = 0;
  // The statement's line, for an error only.
  auto text = [](const DStmt& s) {
    char line[kSeLineLen];
    se_list_stmt(s, line, kSeLineLen);
    return cut(std::string(line, kSeLineLen));
  };
  // Records the token conversion leaves as they are go from the list itself,
  // a run at a time; the others are converted into a batch, written
  // together. Either way in statement order.
  constexpr size_t kBatch = 256;
  std::vector<DStmt> batch;
  std::vector<size_t> from;   // the statement of each record of the batch
  batch.reserve(kBatch);
  from.reserve(kBatch);
  // Writes count records at recs, of the statements of_rec(0 .. count - 1).
  auto put = [&](const DStmt* recs, size_t count, auto of_rec) {
    size_t done = 0;
    while (done < count) {
      size_t n = size_t(fm_write_all(a, reinterpret_cast<const uint8_t*>(recs + done), uint32_t(count - done)));
      written += int(n);
      done += n;
      if (done == count) break;
      if (errors)
        errors->push_back("write failed, status " + std::to_string(a->status.get()) + ": " + text(stmts[of_rec(done)]));
      ++done;
    }
  };
  auto write = [&] {
    put(batch.data(), batch.size(), [&](size_t k) { return from[k]; });
    batch.clear();
    from.clear();
  };
  size_t run = 0;   // the statements [run, i) go as they are
  std::unique_ptr<SeDict> own;
  auto write_run = [&](size_t end) {
    if (end > run) put(stmts.data() + run, end - run, [&](size_t k) { return run + k; });
    run = end;
  };
  for (size_t i = 0; i < stmts.size(); ++i) {
    SeDict* d = cnv_token_dict(stmts[i], ver, dict, own);
    if (!cnv_token_needed(stmts[i], ver, d)) {
      if (!batch.empty()) write();   // (the run starts here)
      // (A long run goes a part at a time, while the records just looked
      // at are at hand.)
      if (i - run >= kBatch) write_run(i);
      continue;
    }
    write_run(i);
    run = i + 1;
    batch.push_back(stmts[i]);
    if (!cnv_token(batch.back(), ver, 2, 1, d)) {
      batch.pop_back();
      write();   // (the errors in statement order)
      if (errors) errors->push_back("token not stored: " + text(stmts[i]));
      continue;
    }
    from.push_back(i);
    if (batch.size() == kBatch) write();
  }
  write();
  write_run(stmts.size());
  (void)FM_CLOSE(a, 0);
  return written;
}

FmArb* se_check_file(const char* app, const char* ver, SeDict* dict, const std::vector<DStmt>& stmts,
                     std::vector<std::string>* errors) {
  if (se_store_dict(app, ver, dict, stmts, errors, true) != int(stmts.size())) return nullptr;
  uint32_t st = 0;
  return open_stmt(app, ver, false, true, &st);
}

std::vector<PcCheckedProc> se_checked_procs(const std::vector<SeFileResult::Proc>& procs) {
  std::vector<PcCheckedProc> out;
  for (const SeFileResult::Proc& p : procs) {
    PcCheckedProc c;
    c.type = uint8_t(p.type);
    c.name.set(p.name);
    out.push_back(c);
  }
  return out;
}
