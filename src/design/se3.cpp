// Statement text, module se3: a line read back into a record, the
// occurrence text and the combination rules. See se.h; the dictionary
// checks are behind se_valid.h.
#include <algorithm>
#include <array>
#include <cassert>
#include <climits>
#include <string>
#include <cstring>

#include "design/se.h"
#include "design/se_valid.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {

constexpr char kMod[] = "SE3";

// A copy of a short run of a length known only at run time, in blocks of
// 16 bytes as far as they go (a plain memcpy of such a length compiles to a
// slow string instruction here; reads of 16 bytes from the start are each
// served by one store).
void copy_short(void* dst, const void* src, size_t n) {
  auto* d = static_cast<char*>(dst);
  const auto* s = static_cast<const char*>(src);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) std::memcpy(d + i, s + i, 16);
  if (i + 8 <= n) {
    std::memcpy(d + i, s + i, 8);
    i += 8;
  }
  if (i + 4 <= n) {
    std::memcpy(d + i, s + i, 4);
    i += 4;
  }
  for (; i < n; ++i) d[i] = s[i];
}

// The same for an operand's text, whose words the dictionary checks read
// back at once: from 8 characters on, the last 8 go in one store (over what
// the blocks before wrote), so that the words the checks read (the first 8
// characters, 6-13 and the last 8 of a name) each come from one store.
void copy_operand(void* dst, const void* src, size_t n) {
  if (n < 8) {
    copy_short(dst, src, n);
    return;
  }
  auto* d = static_cast<char*>(dst);
  const auto* s = static_cast<const char*>(src);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) std::memcpy(d + i, s + i, 16);
  if (n - i > 8) std::memcpy(d + i, s + i, 8);
  if (i < n) std::memcpy(d + n - 8, s + n - 8, 8);
}

bool blank(const char* t, int n) {
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, t + i, 8);
    if (w != 0x2020202020202020ull) return false;
  }
  for (; i < n; ++i)
    if (t[i] != ' ') return false;
  return true;
}

// A character no statement line holds: C0 and C1 controls and DEL (a tab
// among them).
bool control(uint8_t c) { return c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0); }

// The first control character of n characters, -1 for none (one pass over
// words, then the search when there is one). A control character is one
// whose bits 5 and 6 are both clear (C0, C1), or DEL.
int first_control(const char* text, int n) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  auto zero_byte = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  uint64_t any = 0;
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, text + i, 8);
    any |= zero_byte(w & 0x6060606060606060ull) | zero_byte(w ^ 0x7f7f7f7f7f7f7f7full);
  }
  for (; i < n; ++i) any |= control(uint8_t(text[i]));
  if (!any) return -1;
  for (int i = 0; i < n; ++i)
    if (control(uint8_t(text[i]))) return i;
  return -1;
}

// Per verb, the columns of the operand part its operands cover (1) or not (0).
const uint8_t* covered_cols(int verb) {
  static const auto table = [] {
    std::array<std::array<uint8_t, kSeOpLen>, kSeVerbs> t{};
    for (int v = 0; v < kSeVerbs; ++v) {
      int n = 0;
      const XmeEntry* run = xme_run(v, &n);
      for (int i = 0; i < n; ++i)
        if (run[i].kind != kSeRest)
          for (int c = run[i].col; c < run[i].col + run[i].len; ++c) t[size_t(v)][size_t(c)] = 1;
    }
    return t;
  }();
  return table[size_t(verb)].data();
}

// The first column of the operand part outside the operands that is neither
// blank nor the template's own character, -1 for none (words of eight
// columns at a time, then the search when there is one).
int first_stray(const char* ops, int verb) {
  static_assert(kSeOpLen % 8 == 0);
  // Per verb, 0x80 at each column outside its operands.
  static const auto outside = [] {
    std::array<std::array<uint8_t, kSeOpLen>, kSeVerbs> t{};
    for (int v = 0; v < kSeVerbs; ++v) {
      const uint8_t* covered = covered_cols(v);
      for (int c = 0; c < kSeOpLen; ++c) t[size_t(v)][size_t(c)] = covered[c] ? 0 : 0x80;
    }
    return t;
  }();
  const uint8_t* covered = covered_cols(verb);
  // (Templates are 64 characters: read in place.)
  std::string_view tv = se_template(verb);
  char pad[kSeOpLen];
  const char* tpl = tv.data();
  if (tv.size() < size_t(kSeOpLen)) {
    std::memset(pad, ' ', kSeOpLen);
    std::memcpy(pad, tv.data(), tv.size());
    tpl = pad;
  }
  constexpr uint64_t kLow = 0x7f7f7f7f7f7f7f7full, kHigh = 0x8080808080808080ull, kBlanks = 0x2020202020202020ull;
  // High bit of each byte that is not zero.
  auto nonzero = [](uint64_t x) { return (((x & kLow) + kLow) | x) & kHigh; };
  uint64_t any = 0;
  for (int c = 0; c < kSeOpLen; c += 8) {
    uint64_t w, t, o;
    std::memcpy(&w, ops + c, 8);
    std::memcpy(&t, tpl + c, 8);
    std::memcpy(&o, outside[size_t(verb)].data() + c, 8);
    any |= nonzero(w ^ kBlanks) & nonzero(w ^ t) & o;
  }
  if (!any) return -1;
  for (int c = 0; c < kSeOpLen; ++c)
    if (!covered[c] && ops[c] != ' ' && ops[c] != tpl[c]) return c;
  return -1;
}

// Compares the screen text with a word of the spelling tables (blank-padded
// to n).
bool same(const char* t, std::string_view w, int n) {
  if (w.empty()) return false;
  for (int i = 0; i < n; ++i)
    if (t[i] != (size_t(i) < w.size() ? w[size_t(i)] : ' ')) return false;
  return true;
}

// One digit c within '0'..max: the byte value; blank: status 2.
uint8_t digit(const char* t, uint8_t* dst, char max) {
  if (*t == ' ') return kSeStBlank;
  if (*t < '0' || *t > max) return kSeStInvalid;
  *dst = uint8_t(*t - '0');
  return kSeStGiven;
}

// The bytes convert writes for an entry: its text's, or its stored form's.
int written(const XmeEntry& e) {
  switch (e.kind) {
    case kSeText: case kSeProc: case kSeFile: case kSeWord: case kSeField: return e.len;
    case kSeApp: return 3;
    case kSeOcc: case kSeOcc2: case kSeCount: case kSeLoop: case kSeBound: case kSeDir: return 4;
    default: return 1;
  }
}

// Per verb, whether the bytes two of its operands may write overlap (then
// each operand's bytes are blanked again before it is converted, so that
// what one wrote into another's is blanked as before; else the operand area
// blanked once serves them all).
const bool* overlapping() {
  static const auto table = [] {
    std::array<bool, kSeVerbs> t{};
    for (int v = 0; v < kSeVerbs; ++v) {
      int n = 0;
      const XmeEntry* run = xme_run(v, &n);
      std::array<uint8_t, 256> used{};
      for (int i = 0; i < n; ++i) {
        if (run[i].kind == kSeRest) continue;
        int end = run[i].offset + std::max<int>(run[i].width, written(run[i]));
        for (int b = run[i].offset; b < end; ++b)
          if (b >= 256 || used[size_t(b)]++) t[size_t(v)] = true;
      }
    }
    return t;
  }();
  return table.data();
}

// Converts the screen text of entry e into the operand area (its bytes blank
// already, or blanked first when blank_first); the status.
uint8_t convert(const XmeEntry& e, int verb, const char* t, uint8_t* dst, bool blank_first) {
  int len = e.len;
  if (blank_first && e.kind != kSeRest) std::memset(dst, ' ', e.width);
  switch (e.kind) {
    case kSeText: case kSeProc: case kSeFile: case kSeWord: case kSeField:
      copy_operand(dst, t, size_t(len));
      return blank(t, len) ? kSeStBlank : kSeStGiven;
    case kSeApp:
      if (std::memcmp(t, "---", 3) == 0) std::memcpy(dst, "0LA", 3);
      else std::memcpy(dst, t, 3);
      return blank(t, 3) ? kSeStBlank : kSeStGiven;
    case kSeOcc: case kSeOcc2: case kSeCount: case kSeLoop: case kSeBound: {
      SeOcc& o = rec::view<SeOcc>(dst);
      if (!get_occ(t, &o, e.kind, len)) {
        std::memset(dst, ' ', 4);
        return kSeStInvalid;
      }
      // The number 0 means no occurrence (but in BEG LOOP and the first
      // operand of CNV TEXT). It reads as the blank it shows as, so a
      // required operand given as 000 is refused as a blank one would be.
      if (o.type == kOccNumber && o.num() == 0 && verb != kVerbBegLoop &&
          !(verb == kVerbCnvText && e.offset == 0)) {
        o.v.zero();
        o.type = kOccNone;
      }
      return o.type == kOccNone ? kSeStBlank : kSeStGiven;
    }
    case kSeInvoc:
      if (blank(t, len)) return kSeStBlank;
      for (int k = 0; k < 3; ++k)
        if (same(t, se_invoc_name(k), len)) {
          *dst = uint8_t(k);
          return kSeStGiven;
        }
      return kSeStInvalid;
    case kSeDigit3: return digit(t, dst, '3');
    case kSeDigit9: return digit(t, dst, '9');
    case kSeDigit2: return digit(t, dst, '2');
    case kSeRel: case kSeRel2:
      if (blank(t, len)) return kSeStBlank;
      if (int c = se_rel_find(t, e.kind == kSeRel ? 1 : 7)) {
        *dst = uint8_t(c);
        return kSeStGiven;
      }
      return kSeStInvalid;
    case kSeArith:
      if (*t == ' ') return kSeStBlank;
      if (!std::strchr("+-*/PM", *t) || *t == 0) return kSeStInvalid;
      *dst = uint8_t(*t);
      return kSeStGiven;
    case kSeYesNo:
      if (*t == ' ') return kSeStBlank;
      if (*t == 'Y' || *t == 'y') *dst = '1';
      else if (*t == 'N' || *t == 'n') *dst = '0';
      else return kSeStInvalid;
      return kSeStGiven;
    case kSeDigit8:
      if (*t == ' ') return kSeStBlank;
      if (*t < '1' || *t > '8') return kSeStInvalid;
      *dst = uint8_t(*t);
      return kSeStGiven;
    case kSeDayForm:
      if (*t == ' ') return kSeStBlank;
      if (*t != 'L' && *t != 'S') return kSeStInvalid;
      *dst = uint8_t(*t);
      return kSeStGiven;
    case kSeArea: case kSeCommArea: {
      if (blank(t, len)) return kSeStBlank;
      static const int comm[] = {2, 4, 5, 1, 3, 7, 6};
      for (int i = e.kind == kSeArea ? 3 : 0; i < 7; ++i)
        if (same(t, se_area_name(comm[i]), len)) {
          *dst = uint8_t(comm[i]);
          return kSeStGiven;
        }
      return kSeStInvalid;
    }
    case kSeDir:
      if (blank(t, len)) return kSeStBlank;
      if (same(t, se_dir_word(1), len)) std::memcpy(dst, "FROM", 4);
      else if (same(t, se_dir_word(2), len)) std::memcpy(dst, "INTO", 4);
      else return kSeStInvalid;
      return kSeStGiven;
    case kSeRest:
      return kSeStBlank;
    default:
      std::snprintf(ut_dbg, sizeof ut_dbg, "se_degen_stmt() - unexpected case switch");
      os_sys_err(kMod, __LINE__);
      return kSeStInvalid;
  }
}

// The columns of entry e as text: "50-52".
std::string cols(const XmeEntry& e) {
  int c = se_entry_col(e);
  return std::to_string(c) + "-" + std::to_string(c + e.len - 1);
}

std::string trimmed(const uint8_t* p, int n) {
  std::string s(reinterpret_cast<const char*>(p), size_t(n));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// An application id as a record keeps it: one to three upper-case letters
// or digits from its first column, blanks after.
bool app_id(const uint8_t* p) {
  int n = 0;
  while (n < 3 && ((p[n] >= 'A' && p[n] <= 'Z') || (p[n] >= '0' && p[n] <= '9'))) ++n;
  return n > 0 && blank(reinterpret_cast<const char*>(p) + n, 3 - n);
}

// Per verb, its application entries: the entry, and for a second operand
// (an application after the first, its field next) the field and the
// occurrence before (-1 none).
struct AppSlot {
  int8_t app, field, occ;
};
struct AppSlots {
  AppSlot at[4];
  int n;
};

const AppSlots& app_slots(int verb) {
  static const auto table = [] {
    std::array<AppSlots, kSeVerbs> t{};
    for (int v = 0; v < kSeVerbs; ++v) {
      int n = 0;
      const XmeEntry* run = xme_run(v, &n);
      AppSlots& s = t[size_t(v)];
      for (int i = 0; i < n && s.n < 4; ++i) {
        if (run[i].kind != kSeApp) continue;
        AppSlot a{int8_t(i), -1, -1};
        if (s.n > 0 && i + 1 < n && run[i + 1].kind == kSeField) {
          a.field = int8_t(i + 1);
          if (run[i - 1].kind == kSeOcc) a.occ = int8_t(i - 1);
        }
        s.at[s.n++] = a;
      }
    }
    return t;
  }();
  return table[size_t(verb)];
}

// A value written in a column where it does not belong, though each
// operand converts alone: text in an application column that is no
// application id; the application of a second operand (a field or a
// value) given without its field, so that the compile looks for a field of
// no name (of an application that may not exist, which fails only when
// the statement runs); an occurrence of a second operand that names no
// field. The entry to refuse, -1 none. With why, the leftmost and its
// reason; without, the first found (the common case, nothing, builds no
// text). (The first operand's pairs of the verbs with combination rules,
// and the required operands, are refused by those rules.)
int misplaced(int verb, const XmeEntry* run, const uint8_t* status, const uint8_t* ops, std::string* why) {
  int at = -1;
  // true: stop looking
  auto refuse = [&](int i, auto&& text) {
    if (at >= 0 && run[i].col >= run[at].col) return false;
    at = i;
    if (!why) return true;
    *why = text();
    return false;
  };
  const AppSlots& s = app_slots(verb);
  for (int k = 0; k < s.n; ++k) {
    const AppSlot& a = s.at[k];
    const XmeEntry& e = run[a.app];
    const uint8_t* app = ops + e.offset;
    bool given = status[a.app] == kSeStGiven;
    if (given && !app_id(app) && refuse(a.app, [&] {
          return "\"" + trimmed(app, 3) + "\" is no application id: columns " + cols(e) +
                 " take an application id, one to three upper-case letters or digits from column " +
                 std::to_string(se_entry_col(e)) + ", or --- for the runtime application";
        }))
      return at;
    if (a.field < 0) continue;
    const XmeEntry& f = run[a.field];
    bool field = status[a.field] == kSeStGiven;
    if (given && !field && !(f.flags & kXmeRequired) && refuse(a.app, [&] {
          return "application " + trimmed(app, 3) + " with no field: columns " + cols(e) +
                 " take the application of the field named in columns " + cols(f) + "; a value goes in columns " +
                 cols(f) + " with columns " + cols(e) + " blank";
        }))
      return at;
    if (a.occ >= 0 && status[a.occ] == kSeStGiven && (!field || !given) && refuse(a.occ, [&] {
          const XmeEntry& o = run[a.occ];
          char occ[4] = {};
          put_occ(occ, rec::view<SeOcc>(ops + o.offset));
          return "occurrence " + trimmed(reinterpret_cast<const uint8_t*>(occ), 3) + " of " +
                 (field ? "a value" : "no field") + ": columns " + cols(o) +
                 " take the occurrence of the field named in columns " + cols(f) + " with its application in columns " +
                 cols(e);
        }))
      return at;
  }
  return at;
}

// T/F column without 'C': 'T', 'F', '1', '0' or '-' characters, then blanks.
bool tf_ok(const char* t) {
  int i = 0;
  while (i < 5 && (t[i] == 'T' || t[i] == 'F' || t[i] == '1' || t[i] == '0' || t[i] == '-')) ++i;
  return blank(t + i, 5 - i);
}

}  // namespace

int get_occ(const char* text, SeOcc* occ, int kind, int len) {
  char c[3];
  int n = 0;
  for (int i = 0; i < len; ++i)
    if (text[i] != ' ') c[n++] = text[i];
  occ->v.zero();
  occ->type = kOccNone;
  if (n == 0) return 1;
  if (c[0] >= 'A' && c[0] <= 'Z') {
    if (n == 2 && c[1] != 'I') return 0;
    if (n > 2) return 0;
    occ->v[0] = uint8_t(c[0]);
    occ->v[1] = n == 2 ? uint8_t('I') : uint8_t(' ');
    occ->type = kOccLetters;
    return 1;
  }
  if (kind == kSeLoop) return 0;
  int i = 0;
  bool minus = false;
  if (c[0] == '-') {
    if (kind == kSeCount) return 0;
    minus = true;
    i = 1;
  }
  if (i == n) return 0;
  int v = 0;
  for (; i < n; ++i) {
    if (c[i] < '0' || c[i] > '9') return 0;
    v = v * 10 + (c[i] - '0');
  }
  occ->set_num(int16_t(minus ? -v : v));
  return 1;
}

int se_degen_stmt(SeLineState& st, DStmt& stmt, int* err_col, int* second_col) {
  char line[kSeLineLen];
  int have = st.len < kSeLineLen ? st.len : kSeLineLen;
  if (have < 0) have = 0;
  // (Blanks over the whole line first: stores of a known length.)
  std::memset(line, ' ', kSeLineLen);
  // (The verb's columns 7-14 and the operand part are copied each from its
  // own first column: their words are read back just after, each from the
  // one store that wrote it.)
  if (have >= kSeOpCol - 1) {
    std::memcpy(line, st.text, 8);
    std::memcpy(line + 6, st.text + 6, 8);
    line[14] = st.text[14];
    copy_short(line + kSeOpCol - 1, st.text + kSeOpCol - 1, size_t(have - (kSeOpCol - 1)));
  } else {
    copy_short(line, st.text, size_t(have));
  }
  st.n = 0;
  st.err_entry = -1;
  st.err_kind = 0;
  st.why.clear();
  st.warning = st.file_warning = st.redraw = st.repeatable = false;
  const int64_t unkept = st.validator ? st.validator->unkept() : 0;
  if (err_col) *err_col = 0;
  if (second_col) *second_col = 0;

  // Characters no record keeps: anywhere, controls; columns 6, 15, 80 and on.
  int other = INT_MAX;
  auto refuse = [&](int col) {
    if (col < other) other = col;
  };
  // (The blanks after the text are no controls. The text is searched where
  // it lies: a read of the copy just made would wait for its stores.)
  if (int i = first_control(st.text, have); i >= 0) refuse(i + 1);
  for (int i = kSeLineLen - 1; i < st.len; ++i)
    if (st.text[i] != ' ') {
      refuse(kSeLineLen);
      break;
    }
  if (line[5] != ' ') refuse(6);
  if (line[14] != ' ') refuse(15);

  bool cflag = line[0] == 'C';
  std::memcpy(stmt.tf.data(), line, 5);
  if (!cflag && !tf_ok(line)) refuse(1);

  int verb = se_find_verb(line + 6, st.display_names);
  if (verb < 0) {
    refuse(7);
    if (err_col) *err_col = other;
    return 0;
  }
  stmt.verb = uint16_t(verb);
  std::memset(stmt.ops.data(), ' ', kSeOpLen);

  int n = 0;
  const XmeEntry* run = xme_run(verb, &n);
  st.n = n;
  const char* ops = line + kSeOpCol - 1;
  bool bad[kSeMaxEntries] = {};
  int first_field = -1, file_entry = -1;
  const bool overlap = overlapping()[verb];
  for (int i = 0; i < n; ++i) {
    const XmeEntry& e = run[i];
    if (e.kind == kSeRest) {
      st.status[i] = kSeStBlank;
      continue;
    }
    uint8_t s = convert(e, verb, ops + e.col, stmt.ops.data() + e.offset, overlap);
    st.status[i] = s;
    if (s == kSeStInvalid || ((e.flags & kXmeRequired) && s != kSeStGiven && !cflag)) bad[i] = true;
    if (e.kind == kSeFile && file_entry < 0) file_entry = i;
    if (e.kind == kSeField && first_field < 0) {
      first_field = i;
      // A predefined field of "0LA" makes its application valid: the errors
      // of the field and its application are void (not those of others).
      int a = i - 1;
      while (a >= 0 && run[a].kind != kSeApp) --a;
      if (!cflag && st.validator && a >= 0 && std::memcmp(stmt.ops.data() + run[a].offset, "0LA", 3) == 0 &&
          s == kSeStGiven && st.validator->is_pdf("0LA", reinterpret_cast<const char*>(stmt.ops.data() + e.offset))) {
        st.status[a] = kSeStGiven;
        bad[a] = bad[i] = false;
        st.redraw = true;
      }
    }
  }
  // The operand part outside the operands: blank or the template's own text.
  if (int c = first_stray(ops, verb); c >= 0) refuse(kSeOpCol + c);

  int best = other, best_entry = -1;
  for (int i = 0; i < n; ++i)
    if (bad[i] && se_entry_col(run[i]) < best) {
      best = se_entry_col(run[i]);
      best_entry = i;
    }
  if (!cflag && misplaced(verb, run, st.status, stmt.ops.data(), nullptr) >= 0) {
    std::string why;
    int i = misplaced(verb, run, st.status, stmt.ops.data(), &why);
    if (i >= 0 && se_entry_col(run[i]) < best) {
      best = se_entry_col(run[i]);
      best_entry = i;
      st.why = std::move(why);
    }
  }

  SeCheck chk;
  if (!cflag && st.validator) {
    chk.stmt = &stmt;
    chk.verb = verb;
    chk.run = run;
    chk.n = n;
    chk.status = st.status;
    chk.file_entry = file_entry;
    if (!st.validator->validate(chk) && chk.err_col > 0 && chk.err_col < best) {
      best = chk.err_col;
      st.why = chk.why;
      best_entry = -1;
      for (int i = 0; i < n; ++i)
        if (se_entry_col(run[i]) == best) best_entry = i;
    }
    if (chk.changed) st.redraw = true;
  }
  if (best == INT_MAX && !cflag) {
    int col = 0;
    if (!opt_req(stmt, st.status, &col)) {
      best = col;
      for (int i = 0; i < n; ++i)
        if (se_entry_col(run[i]) == best) best_entry = i;
    }
  }
  if (best != INT_MAX) {
    st.err_entry = best_entry;
    st.err_kind = best_entry >= 0 ? run[best_entry].kind : 0;
    if (err_col) *err_col = best;
    if (second_col && chk.second_col) *second_col = chk.second_col;
    return 0;
  }
  if (chk.warn_col) {
    st.warning = true;
    st.file_warning = chk.warn_file;
    if (err_col) *err_col = chk.warn_col;
  }
  // The same text reads the same while every answer it took is remembered.
  st.repeatable = !st.warning && (!st.validator || (unkept >= 0 && st.validator->unkept() == unkept));
  return 1;
}

int opt_req(const DStmt& stmt, const uint8_t* status, int* col) {
  int verb = stmt.verb;
  if (verb >= kSeVerbs) return 1;
  int n = 0;
  const XmeEntry* run = xme_run(verb, &n);
  auto at = [&](int i) {
    *col = se_entry_col(run[i]);
    return 0;
  };
  constexpr uint8_t G = kSeStGiven, B = kSeStBlank, X = kSeStInvalid;
  switch (verb) {
    case 5: case 9: case 11: case 27: case 28: case 41: case 46: case 48: case 49: case 50:
    case 56: case 81: case 82: {
      // occurrence, application, field, appearance
      uint8_t occ = status[0], app = status[1], fld = status[2], app2 = status[3];
      if (app == X) return at(1);
      if (app == G && fld == G) {
        if (occ == B || (occ == G && (app2 == G || app2 == B))) return 1;
        return at(0);
      }
      if (fld == B && (app == G || app == B)) {
        if (occ != B) return at(0);
        if (app2 != B) return at(3);
        return 1;
      }
      return at(2);
    }
    case kVerbCall: case kVerbRun: case kVerbReturn: case kVerbTimeout: {
      int o = verb == kVerbTimeout ? 1 : 0;   // TIMEOUT: label first
      uint8_t occ = status[o], app = status[o + 1], fld = status[o + 2];
      if (app == X) return at(o + 1);
      if (app == G) {
        if (fld != G) return at(o + 2);
        if (occ != G && occ != B) return at(o);
        return 1;
      }
      if ((verb == kVerbReturn || verb == kVerbTimeout) && fld != B) return at(o + 2);
      if (occ != B) return at(o);
      return 1;
    }
    default:
      return 1;
  }
}

std::string se_warning_text(const SeLineState& st) {
  if (!st.warning) return {};
  return st.file_warning ? "WARNING - File not found" : "WARNING - Application not found in application file";
}

namespace {

// What an operand of each kind holds, as the refusals name it.
const char* const kinds[26] = {
    "",           "free text",        "application id",  "field name",   "occurrence",
    "appearance number", "process name", "invocation kind", "digit 0-3", "comparison code",
    "arithmetic operator", "Y or N",   "digit 0-9",       "count",        "file name",
    "IN or EX",   "loop letter",      "loop bound",      "digit 1-8",    "area kind",
    "area kind",  "L or S",           "word",            "FROM or INTO", "digit 0-2",
    ""};

// What is wrong with a character no operand takes, at column col: and what
// the columns around it take.
std::string stray_text(const SeLineState& st, int col) {
  uint8_t c = col >= 1 && col <= st.len ? uint8_t(st.text[col - 1]) : uint8_t(' ');
  if (control(c)) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", unsigned(c));
    return std::string("control character ") + hex + ": a statement line holds printable characters only";
  }
  if (col == 6) return "column 6 stays blank: the T/F column is 1-5, the verb 7-14";
  if (col == 15) return "column 15 stays blank: the verb is in columns 7-14, its operands begin in column 16";
  if (col >= kSeLineLen) return "text past column 79, where a statement ends";
  char verb_cols[8];
  std::memset(verb_cols, ' ', 8);
  for (int i = 6; i < 14 && i < st.len; ++i) verb_cols[i - 6] = st.text[i];
  int verb = se_find_verb(verb_cols, st.display_names);
  if (verb < 0) return "character outside the statement's fields";
  std::string name = std::string(se_builtin_verb(verb));
  int n = 0;
  const XmeEntry* run = xme_run(verb, &n);
  const XmeEntry *before = nullptr, *after = nullptr;
  for (int i = 0; i < n; ++i) {
    const XmeEntry& e = run[i];
    if (e.kind == kSeRest) continue;
    int first = se_entry_col(e), last = first + e.len - 1;
    if (last < col && (!before || last > se_entry_col(*before) + before->len - 1)) before = &e;
    if (first > col && (!after || first < se_entry_col(*after))) after = &e;
  }
  auto named = [&](const XmeEntry* e) { return std::string("the ") + kinds[e->kind] + " in columns " + cols(*e); };
  std::string s = "character outside " + name + "'s operands: ";
  if (!before && !after) return s + name + " takes none";
  if (before && after) return s + "column " + std::to_string(col) + " lies between " + named(before) + " and " + named(after);
  if (before) return s + "column " + std::to_string(col) + " lies after the last, " + named(before);
  return s + "column " + std::to_string(col) + " lies before the first, " + named(after);
}

}  // namespace

std::string se_refusal_text(const std::string& file, int line, const SeLineState& st, int col, int second_col) {
  std::string what;
  if (!st.why.empty()) {
    what = st.why;
  } else if (st.err_kind > 0 && st.err_kind < 26) {
    what = kinds[st.err_kind];
  } else if (col == 1) {
    what = "T/F column";
  } else if (col == 7) {
    // the word in the verb's columns (7-14)
    std::string word;
    for (int i = 6; i < 14 && i < st.len; ++i) word += st.text[i];
    while (!word.empty() && word.back() == ' ') word.pop_back();
    // A known verb with more text in its columns: the operands were
    // written too far left.
    const std::string first = word.substr(0, word.find(' '));
    if (word.empty()) what = "verb missing";
    else if (se_verb_code(word) >= 0) what = "verb";
    else if (first != word && se_verb_code(first) >= 0)
      what = "text after verb " + first + " in the verb's columns 7-14; its operands begin in column 16";
    else what = "unknown verb " + word;
  } else {
    what = stray_text(st, col);
  }
  std::string s = file + ":" + std::to_string(line) + ":" + std::to_string(col) + ": " + what;
  if (second_col) s += ", second column " + std::to_string(second_col);
  return s;
}
