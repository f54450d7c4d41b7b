// Numbers: numeric edit masks, display and entry of numbers, and the stored
// forms binary (5), packed (8) and variable packed (12).
//
// Values are carried as a 128-bit integer and a scale (CvNum): 31 decimal
// digits, the most any packed field holds, fit with room to spare.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/bi.h"
#include "foundation/cv.h"

namespace {

using i128 = __int128;
constexpr int kMaxDigits = 31;

i128 pow10(int n) {
  i128 p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

int digit_count(i128 v) {
  if (v < 0) v = -v;
  int n = 0;
  for (; v > i128(UINT64_MAX); v /= 10) ++n;
  for (uint64_t u = uint64_t(v); u != 0; u /= 10) ++n;  // (64-bit divides)
  return n;
}

// Brings a value to a scale: more decimals multiply, fewer divide rounding
// half away from zero. 0 when the result would pass 31 digits.
bool rescale(CvNum& n, int scale) {
  if (n.scale == scale) return true;
  if (scale > n.scale) {
    int k = scale - n.scale;
    if (digit_count(n.value) + k > kMaxDigits) return false;
    n.value *= pow10(k);
  } else {
    int k = n.scale - scale;
    if (k > kMaxDigits + 1) {
      n.value = 0;
    } else {
      i128 p = pow10(k);
      bool neg = n.value < 0;
      i128 m = neg ? -n.value : n.value;
      i128 q = m / p, r = m % p;
      if (r * 2 >= p) ++q;
      n.value = neg ? -q : q;
    }
  }
  n.scale = scale;
  return true;
}

// --------------------------------------------------------- packed codec --

bool packed_get(const uint8_t* p, int len, i128* out) {
  if (len < 1 || len > 16) return false;
  // Up to 18 digits in 64 bits, the rest on 128.
  uint64_t u = 0;
  int i = 0;
  for (; i < len - 1 && i < 9; ++i) {
    int hi = p[i] >> 4, lo = p[i] & 0xF;
    if (hi > 9 || lo > 9) return false;
    u = u * 100 + uint64_t(hi * 10 + lo);
  }
  i128 v = u;
  for (; i < len; ++i) {
    int hi = p[i] >> 4, lo = p[i] & 0xF;
    if (hi > 9) return false;
    v = v * 10 + hi;
    if (i < len - 1) {
      if (lo > 9) return false;
      v = v * 10 + lo;
    } else {
      if (lo == com.pd_neg) v = -v;
      else if (lo != com.pd_pos) return false;
    }
  }
  *out = v;
  return true;
}

bool packed_put(uint8_t* p, int len, i128 v) {
  if (len < 1 || len > 16) return false;
  bool neg = v < 0;
  i128 m = neg ? -v : v;
  // The digits from the units up (a magnitude within 64 bits divides in 64).
  uint8_t d[40] = {};
  int n = 0;
  if (m <= i128(UINT64_MAX)) {
    for (uint64_t u = uint64_t(m); u != 0; u /= 10) d[n++] = uint8_t(u % 10);
  } else {
    for (i128 r = m; r != 0; r /= 10) d[n++] = uint8_t(int(r % 10));
  }
  if (n > 2 * len - 1) return false;
  uint8_t tmp[16];
  tmp[len - 1] = uint8_t((d[0] << 4) | (neg && m != 0 ? com.pd_neg : com.pd_pos));
  for (int i = len - 2, k = 1; i >= 0; --i, k += 2) tmp[i] = uint8_t((d[k + 1] << 4) | d[k]);
  std::memcpy(p, tmp, size_t(len));
  return true;
}

// ----------------------------------------------------------- the mask --

enum class Pos : uint8_t { Digit, Point, Group, SignL, SignT, Cur, Lit };

struct MaskPos {
  Pos kind;
  char ch;      // mask character (Digit: 9 Z 0 * 8; Sign: - ( ) < >; Lit: the text)
  bool frac;    // Digit: after the decimal point
};

struct Parsed {
  MaskPos pos[128];
  int n = 0;
  int ints = 0, decs = 0;
  int sign = 0;   // 0 none, 1 '-', 2 '()', 3 '<>'
  bool group = false;
  char fill = ' ';
  // The first run of '$' positions shows the currency symbol (any other '$'
  // position shows a blank): where it starts, its length, and whether it
  // stands before the digits.
  int cur_at = -1, cur_run = 0;
  bool cur_lead = false;
  // Only digit positions '9', 'Z' and '0', a point and a trailing minus (a
  // numeric field's default mask): nothing floats, fills or drops.
  bool digits_only = false;
};

// Parses a mask; false when malformed.
bool parse_mask_text(const char* mask, int length, Parsed& m);
// The same, the last few masks parsed kept: a report converts the same
// items' masks on every line it prints, a statement at each run. The parse
// (null when malformed) stays until the next mask is parsed.
const Parsed* parse_mask_ref(const char* mask, int length) {
  while (length > 0 && mask[length - 1] == ' ') --length;
  struct Memo {
    char text[128];
    int len = -1;
    bool ok = false;
    Parsed parsed;
  };
  static Memo memo[4];
  static unsigned next = 0;
  if (length < 0 || length > int(sizeof memo[0].text)) {
    static Parsed spill;
    spill = Parsed{};
    return parse_mask_text(mask, length, spill) ? &spill : nullptr;
  }
  for (Memo& e : memo)
    if (e.len == length && std::memcmp(e.text, mask, size_t(length)) == 0) return e.ok ? &e.parsed : nullptr;
  Memo& e = memo[next++ % 4];
  e.parsed = Parsed{};
  e.ok = parse_mask_text(mask, length, e.parsed);
  std::memcpy(e.text, mask, size_t(length));
  e.len = length;
  return e.ok ? &e.parsed : nullptr;
}
bool parse_mask(const char* mask, int length, Parsed& m) {
  const Parsed* p = parse_mask_ref(mask, length);
  if (p) m = *p;
  return p != nullptr;
}

bool parse_mask_text(const char* mask, int length, Parsed& m) {
  bool point = false, seen_digit = false;
  int minus = 0, open = 0, close = 0, lt = 0, gt = 0;
  for (int i = 0; i < length; ++i) {
    if (m.n >= 128) return false;
    char c = mask[i];
    MaskPos p{Pos::Lit, c, false};
    if (c == '\\') {
      if (++i >= length) return false;
      p.ch = mask[i];
    } else if (c == '9' || c == 'Z' || c == '0' || c == '*' || c == '8') {
      p.kind = Pos::Digit;
      p.frac = point;
      if (point) ++m.decs;
      else ++m.ints;
      if (c == '*' && !point) m.fill = '*';
      seen_digit = true;
    } else if (c == '.') {
      if (point) return false;
      point = true;
      p.kind = Pos::Point;
    } else if (c == ',') {
      p.kind = Pos::Group;
      m.group = true;
    } else if (c == '-') {
      ++minus;
      p.kind = seen_digit ? Pos::SignT : Pos::SignL;
    } else if (c == '(' || c == '<') {
      if (seen_digit) return false;
      (c == '(' ? open : lt)++;
      p.kind = Pos::SignL;
    } else if (c == ')' || c == '>') {
      if (!seen_digit) return false;
      (c == ')' ? close : gt)++;
      p.kind = Pos::SignT;
    } else if (c == '$') {
      p.kind = Pos::Cur;
      if (m.cur_at < 0) m.cur_at = m.n;
      if (m.cur_at + m.cur_run == m.n) ++m.cur_run;
    }
    m.pos[m.n++] = p;
  }
  if (!seen_digit || m.ints + m.decs > kMaxDigits) return false;
  // Signs and the currency stand before the first digit position or after
  // the last one.
  int first = -1, last = -1;
  for (int i = 0; i < m.n; ++i)
    if (m.pos[i].kind == Pos::Digit) {
      if (first < 0) first = i;
      last = i;
    }
  for (int i = first + 1; i < last; ++i)
    if (m.pos[i].kind == Pos::Cur || m.pos[i].kind == Pos::SignL || m.pos[i].kind == Pos::SignT) return false;
  m.cur_lead = m.cur_at >= 0 && m.cur_at < first;
  // A thousands separator stands between two integer digit positions.
  for (int i = 0; i < m.n; ++i) {
    if (m.pos[i].kind != Pos::Group) continue;
    auto int_digit = [&](int k) { return k >= 0 && k < m.n && m.pos[k].kind == Pos::Digit && !m.pos[k].frac; };
    if (!int_digit(i - 1) || !int_digit(i + 1)) return false;
  }
  if (open != close || lt != gt || open > 1 || lt > 1 || minus > 1) return false;
  int forms = (minus ? 1 : 0) + (open ? 1 : 0) + (lt ? 1 : 0);
  if (forms > 1) return false;
  m.sign = minus ? 1 : open ? 2 : lt ? 3 : 0;
  m.digits_only = std::all_of(m.pos, m.pos + m.n, [](const MaskPos& p) {
    return (p.kind == Pos::Digit && (p.ch == '9' || p.ch == 'Z' || p.ch == '0')) || p.kind == Pos::Point ||
           (p.kind == Pos::SignT && p.ch == '-');
  });
  return true;
}

std::string_view currency() {
  size_t n = com.currency.len();
  return std::string_view(com.currency.data(), n);
}

}  // namespace

int cv_num_msk(CvNumMsk* m) {
  if (!m || !m->mask || m->length < 0) return 0;
  const Parsed* pp = parse_mask_ref(m->mask, m->length);
  if (!pp) return 0;
  const Parsed& p = *pp;
  m->facts.int_digits = uint8_t(p.ints);
  m->facts.decimals = uint8_t(p.decs);
  m->facts.sign = uint8_t(p.sign);
  m->facts.group = p.group ? 1 : 0;
  m->facts.fill = uint8_t(p.fill);
  m->width = p.n;
  return 1;
}

int num_itoe(const char* mask, int mask_len, CvNum n, char* out, int out_len) {
  if (!out || out_len < 0) return 0;
  std::memset(out, ' ', size_t(out_len));
  const Parsed* mp = mask ? parse_mask_ref(mask, mask_len) : nullptr;
  if (!mp) {
    std::memset(out, '*', size_t(out_len));
    return 0;
  }
  const Parsed& m = *mp;
  auto fail = [&] {
    std::memset(out, ' ', size_t(out_len));
    std::memset(out, '*', size_t(m.n < out_len ? m.n : out_len));
    return 0;
  };
  if (m.n > out_len) return fail();
  if (!rescale(n, m.decs)) return fail();
  bool neg = n.value < 0;
  i128 mag = neg ? -n.value : n.value;
  if (neg && m.sign == 0) return fail();
  int total = m.ints + m.decs;
  if (digit_count(mag) > total) return fail();
  // The value's digits, right-aligned over the mask's digit positions.
  char digs[kMaxDigits + 1];
  if (mag <= i128(UINT64_MAX)) {
    uint64_t u = uint64_t(mag);  // (64-bit divides)
    for (int i = total - 1; i >= 0; --i) {
      digs[i] = char('0' + int(u % 10));
      u /= 10;
    }
  } else {
    for (int i = total - 1; i >= 0; --i) {
      digs[i] = char('0' + int(mag % 10));
      mag /= 10;
    }
  }

  if (m.digits_only) {
    // What the cells below come to for such a mask: each cell in place.
    bool significant = false;
    for (int i = 0, di = 0; i < m.n; ++i) {
      const MaskPos& p = m.pos[i];
      char c = ' ';
      if (p.kind == Pos::Digit) {
        char d = digs[di++];
        if (p.frac || significant || d != '0' || p.ch == '0') {
          significant = true;
          c = d;
        }
      } else if (p.kind == Pos::Point) {
        if (m.decs > 0) c = char(com.dec_sep);
      } else if (neg) {
        c = '-';
      }
      out[i] = c;
    }
    return 1;
  }

  // Cells of the result and how each was produced.
  enum Cell : uint8_t { Shown, Blank, Drop, Insert };
  char text[128];
  Cell state[128];
  int di = 0;
  bool significant = false;
  char last_supp = ' ';      // what the last suppressed digit showed
  bool last_drop = false;    // the last suppressed digit was an '8'
  int first = -1;            // first shown cell of the number
  bool has_digit_after[128], has_int_after[128];
  {
    bool after = false, int_after = false;
    for (int i = m.n - 1; i >= 0; --i) {
      has_digit_after[i] = after;
      has_int_after[i] = int_after;
      if (m.pos[i].kind == Pos::Digit) {
        after = true;
        if (!m.pos[i].frac) int_after = true;
      }
    }
  }
  std::string_view cur = currency();
  const int cur_len = int(cur.size());
  int inserts = 0;     // cells that float (leading signs and currency)
  int lead_cur = -1;   // cell of the last character of a leading symbol
  int trail_cur = -1;  // last cell of a trailing symbol
  for (int i = 0; i < m.n; ++i) {
    const MaskPos& p = m.pos[i];
    char c = ' ';
    Cell s = Shown;
    switch (p.kind) {
      case Pos::Digit: {
        char d = digs[di++];
        if (p.frac || significant || d != '0' || p.ch == '0') {
          significant = true;
          c = d;
          if (first < 0) first = i;
        } else if (p.ch == '*') {
          c = '*';  // a leading zero under the cheque-protect fill
        } else {
          s = p.ch == '8' ? Drop : Blank;
        }
        if (!significant) {
          last_supp = c;
          last_drop = p.ch == '8';
        }
        break;
      }
      case Pos::Point:
        if (has_digit_after[i]) {
          c = char(com.dec_sep);
          if (first < 0) first = i;
        } else {
          s = Blank;
        }
        break;
      case Pos::Group:
        if (!has_int_after[i]) {
          s = Blank;  // no integer digit to separate
        } else if (significant) {
          c = char(com.thou_sep);
        } else {
          c = last_supp;
          s = last_drop ? Drop : (c == ' ' ? Blank : Shown);
        }
        break;
      case Pos::SignL:
        s = Insert;
        ++inserts;
        c = neg ? p.ch : ' ';
        break;
      case Pos::SignT:
        c = neg ? p.ch : ' ';
        break;
      case Pos::Cur:
        if (i - m.cur_at < m.cur_run && i - m.cur_at < cur_len) {
          c = cur[size_t(i - m.cur_at)];
          if (m.cur_lead) {
            s = Insert;
            ++inserts;
            lead_cur = i;
          } else {
            trail_cur = i;
          }
        } else {
          s = Blank;
        }
        break;
      case Pos::Lit:
        c = p.ch;
        break;
    }
    text[i] = c;
    state[i] = s;
  }
  // Nothing shown (a zero under suppressing positions): nothing to float to.
  bool shown_any = first >= 0;
  if (!shown_any) first = m.n;

  // A symbol longer than its '$' positions: the rest of it, when there is
  // room (see num_itoe in cv.h), else the symbol is cut to the positions.
  std::string_view lead_more, trail_more;
  if (cur_len > m.cur_run && m.cur_run > 0) (m.cur_lead ? lead_more : trail_more) = cur.substr(size_t(m.cur_run));

  // Float the leading sign and currency next to the first shown cell, over
  // the blank cells between. A literal before them stays where it is; one
  // between them and the number keeps those before it in place; under the
  // '*' fill nothing floats.
  bool can_float = inserts > 0 && shown_any && m.fill != '*';
  if (can_float) {
    int bar = -1;  // the last cell before the number that does not give way
    for (int i = 0; i < first; ++i)
      if (state[i] != Blank && state[i] != Drop && state[i] != Insert) bar = i;
    char ins[192];
    int nins = 0, room = 0;
    for (int i = bar + 1; i < first; ++i) {
      if (state[i] != Drop) ++room;
      if (state[i] != Insert) continue;
      ins[nins++] = text[i];
      if (i == lead_cur && !lead_more.empty()) {
        for (char ch : lead_more) ins[nins++] = ch;
      }
    }
    if (nins > room) {  // no room for the whole symbol: the cut one
      nins = 0;
      for (int i = bar + 1; i < first; ++i)
        if (state[i] == Insert) ins[nins++] = text[i];
    }
    if (lead_cur > bar) lead_more = std::string_view();
    for (int i = bar + 1; i < first; ++i)
      if (state[i] == Insert) {
        text[i] = ' ';
        state[i] = Blank;
      }
    // Place them right-aligned before the first shown cell, over blank cells.
    int at = first - 1;
    for (int k = nins - 1; k >= 0; --k) {
      while (at > bar && state[at] == Drop) --at;
      if (at <= bar) break;
      text[at] = ins[k];
      state[at] = Shown;
      --at;
    }
  }
  // A leading symbol that stays in place goes on over the blank or '*' fill
  // cells right of it.
  if (!lead_more.empty() && lead_cur >= 0) {
    int need = int(lead_more.size());
    bool fits = lead_cur + need < m.n;
    for (int k = 1; fits && k <= need; ++k) {
      int i = lead_cur + k;
      bool fill = state[i] == Shown && text[i] == '*' && (m.pos[i].kind == Pos::Digit || m.pos[i].kind == Pos::Group);
      fits = state[i] == Blank || fill;
    }
    if (fits)
      for (int k = 1; k <= need; ++k) {
        text[lead_cur + k] = lead_more[size_t(k - 1)];
        state[lead_cur + k] = Shown;
      }
  }
  // A trailing symbol takes the room of blank cells at the start: what
  // stands before the symbol moves left.
  if (!trail_more.empty()) {
    int need = int(trail_more.size()), blanks = 0;
    for (int i = 0; i < m.n && (state[i] == Blank || state[i] == Drop); ++i)
      if (state[i] == Blank) ++blanks;
    if (blanks >= need) {
      for (int i = 0; need > 0; ++i)
        if (state[i] == Blank) {
          state[i] = Drop;
          --need;
        }
    } else {
      trail_more = std::string_view();
    }
  }

  // Drop the '8' positions: the rest moves left, blanks at the end.
  int w = 0;
  for (int i = 0; i < m.n; ++i) {
    if (state[i] != Drop) out[w++] = text[i];
    if (i == trail_cur)
      for (char ch : trail_more) out[w++] = ch;
  }
  while (w < m.n) out[w++] = ' ';
  return 1;
}

namespace {
// Reads a number: dec the decimal point, thou the thousands separator (0:
// none), cur the currency symbol (empty: none) and cut the symbol as a mask
// with fewer '$' positions shows it (empty: none), brackets whether '(' ')'
// and '<' '>' may enclose a negative value.
int parse_number(const char* text, int length, char dec, char thou, std::string_view cur,
                 std::string_view cut, bool brackets, CvNum* n, uint32_t* msg) {
  auto refuse = [&](uint32_t m) {
    if (msg) *msg = m;
    return 0;
  };
  if (!text || length < 0) return refuse(100350);
  i128 v = 0;
  int scale = 0, sig = 0;
  bool in_frac = false, digits = false, neg = false, sign_seen = false, ended = false, cur_seen = false;
  char close = 0;
  int i = 0;
  while (i < length) {
    char c = text[i];
    bool grouping = thou && c == thou && thou != dec && digits && !in_frac && !ended && i + 1 < length &&
                    text[i + 1] >= '0' && text[i + 1] <= '9';
    if (grouping) {  // a thousands separator between digits (it may be a blank)
      ++i;
      continue;
    }
    if (c == ' ') {
      if (digits) ended = true;
      ++i;
      continue;
    }
    if (c >= '0' && c <= '9') {
      if (ended || close == 1) return refuse(100350);
      digits = true;
      if (v != 0 || c != '0') ++sig;
      if (sig > kMaxDigits) return refuse(200050);
      v = v * 10 + (c - '0');
      if (in_frac) ++scale;
      ++i;
      continue;
    }
    if (c == dec) {
      if (in_frac || ended) return refuse(100350);
      in_frac = true;
      ++i;
      continue;
    }
    if ((c == '-' || c == '+') && !sign_seen) {
      sign_seen = true;
      neg = c == '-';
      if (digits) ended = true;
      ++i;
      continue;
    }
    if (brackets && (c == '(' || c == '<') && !sign_seen && !digits) {
      sign_seen = true;
      neg = true;
      close = c == '(' ? ')' : '>';
      ++i;
      continue;
    }
    if (close > 1 && c == close && digits) {
      close = 1;  // closed
      ended = true;
      ++i;
      continue;
    }
    if (brackets && c == '*' && !digits) {
      ++i;
      continue;
    }
    // The currency, before or after the number: the whole symbol, else the
    // cut one.
    size_t sym = 0;
    for (std::string_view c : {cur, cut})
      if (!sym && !c.empty() && size_t(length - i) >= c.size() && std::memcmp(text + i, c.data(), c.size()) == 0)
        sym = c.size();
    if (sym && !cur_seen) {
      cur_seen = true;
      if (digits) ended = true;
      i += int(sym);
      continue;
    }
    return refuse(100350);
  }
  if (close > 1) return refuse(100350);  // '(' without ')'
  // Without digits the text is zero when it holds nothing but blanks, the
  // cheque-protect fill and the currency (what a zero shows under such
  // masks); a sign or a decimal point needs digits.
  if (!digits && (sign_seen || close || in_frac)) return refuse(100350);
  n->value = neg ? -v : v;
  n->scale = scale;
  return 1;
}
}  // namespace

int cv_num_etoi(const char* text, int length, CvNum* n, uint32_t* msg) {
  return parse_number(text, length, char(com.dec_sep), char(com.thou_sep), currency(), {}, true, n, msg);
}

int cv_num_etoi_msk(const char* mask, int mask_len, const char* text, int length, CvNum* n, uint32_t* msg) {
  Parsed m;
  if (!mask || !text || length < 0 || !parse_mask(mask, mask_len, m)) return cv_num_etoi(text, length, n, msg);
  // The mask's literal characters are not part of the number. Where the text
  // is laid out as the mask shows it they are passed over at their own
  // positions, as num_itoe puts them: an '8' mask drops the positions of the
  // leading zeros (so the layout depends on where the number's first
  // significant digit stands), and a trailing currency symbol longer than its
  // '$' positions moves what stands before it left. Literal characters that
  // cannot be part of a number go wherever they are.
  std::string_view cur = currency();
  auto meaningful = [&](char c) {
    return (c >= '0' && c <= '9') || c == ' ' || c == char(com.dec_sep) || c == char(com.thou_sep) ||
           std::strchr("+-()<>*", c) != nullptr || cur.find(c) != std::string_view::npos;
  };
  std::string_view cut;
  int more = 0;
  if (m.cur_run > 0 && int(cur.size()) > m.cur_run) {
    cut = cur.substr(0, size_t(m.cur_run));
    if (!m.cur_lead) more = int(cur.size()) - m.cur_run;
  }
  bool has8 = false;
  bool int_after[128];
  for (int i = m.n - 1, after = 0; i >= 0; --i) {
    int_after[i] = after;
    if (m.pos[i].kind == Pos::Digit && !m.pos[i].frac) after = 1;
    if (m.pos[i].kind == Pos::Digit && m.pos[i].ch == '8') has8 = true;
  }
  // A layout: where each literal stands, and how many of them the text has
  // there.
  struct Layout {
    int hits;
    std::vector<int> at;  // text position of each mask position's literal, -1 none
  };
  std::vector<Layout> order;
  int total = m.ints + m.decs;
  for (int room : {0, more}) {
    if (room == 0 && !order.empty()) break;
    // j: the digit position of the first significant digit (total: a zero).
    for (int j = has8 ? 0 : total; j <= total; ++j) {
      Layout l{0, std::vector<int>(size_t(m.n), -1)};
      int dropped = 0, di = 0;
      bool significant = false, last_drop = false;
      for (int i = 0; i < m.n; ++i) {
        const MaskPos& p = m.pos[i];
        if (p.kind == Pos::Digit) {
          if (p.frac || significant || di >= j || p.ch == '0') significant = true;
          ++di;
          if (!significant) {
            last_drop = p.ch == '8';
            if (last_drop) ++dropped;
          }
        } else if (p.kind == Pos::Group && int_after[i] && !significant && last_drop) {
          ++dropped;
        } else if (p.kind == Pos::Lit) {
          int at = i - dropped - (i < m.cur_at ? room : 0);
          if (at >= 0 && at < length) {
            l.at[size_t(i)] = at;
            if (text[at] == p.ch) ++l.hits;
          }
        }
      }
      bool seen = false;
      for (const Layout& o : order) seen = seen || o.at == l.at;
      if (!seen) order.push_back(std::move(l));
    }
  }
  std::stable_sort(order.begin(), order.end(), [](const Layout& a, const Layout& b) { return a.hits > b.hits; });
  uint32_t first_msg = 0;
  bool first_try = true;
  for (const Layout& l : order) {
    std::string t(text, size_t(length));
    for (int i = 0; i < m.n; ++i) {
      if (m.pos[i].kind != Pos::Lit) continue;
      int at = l.at[size_t(i)];
      if (at >= 0 && t[size_t(at)] == m.pos[i].ch) t[size_t(at)] = ' ';
    }
    for (int i = 0; i < m.n; ++i) {
      if (m.pos[i].kind != Pos::Lit || meaningful(m.pos[i].ch)) continue;
      for (char& c : t)
        if (c == m.pos[i].ch) c = ' ';
    }
    // Blanks left inside the number by the literals close up.
    std::string packed;
    for (char c : t)
      if (c != ' ') packed += c;
    uint32_t mm = 0;
    char dec = char(com.dec_sep), thou = char(com.thou_sep);
    if (parse_number(packed.data(), int(packed.size()), dec, thou, cur, cut, true, n, &mm)) {
      // A symbol that ends in the decimal point, cut before it and followed
      // by the point ("Fr" ".50" under "$$.99"), reads as the whole symbol
      // and a number too long for the mask: then it is the cut one.
      CvNum c;
      if (!cut.empty() && digit_count(n->value) - n->scale > m.ints &&
          parse_number(packed.data(), int(packed.size()), dec, thou, cut, {}, true, &c, &mm))
        *n = c;
      return 1;
    }
    if (first_try) first_msg = mm;
    first_try = false;
  }
  if (msg) *msg = first_msg;
  return 0;
}

int cv_num_universal(const char* text, int length, CvNum* n, uint32_t* msg) {
  return parse_number(text, length, '.', 0, {}, {}, false, n, msg);
}

int cv_num_to_universal(CvNum n, char* out, int out_len) {
  char buf[48];
  int w = 0;
  bool neg = n.value < 0;
  i128 mag = neg ? -n.value : n.value;
  int scale = n.scale < 0 ? 0 : n.scale;
  if (n.scale < 0) mag *= pow10(-n.scale);
  char digs[48];
  int nd = 0;
  for (; mag > i128(UINT64_MAX); mag /= 10) digs[nd++] = char('0' + int(mag % 10));
  uint64_t u = uint64_t(mag);  // (64-bit divides)
  do {
    digs[nd++] = char('0' + int(u % 10));
    u /= 10;
  } while (u != 0 || nd <= scale);
  if (neg) buf[w++] = '-';
  for (int i = nd - 1; i >= 0; --i) {
    buf[w++] = digs[i];
    if (i == scale && scale > 0) buf[w++] = '.';
  }
  std::memset(out, ' ', size_t(out_len));
  if (w > out_len) return 0;
  std::memcpy(out, buf, size_t(w));
  return 1;
}

int cv_num_get(int type, const void* stored, int len, int decimals, bool is_signed, CvNum* n) {
  const uint8_t* p = static_cast<const uint8_t*>(stored);
  if (!p) return 0;
  // A scale past the digits a number holds, or a calculation value shorter
  // than its 9 bytes, is no stored number (a damaged element).
  if (type == 12 ? len < 9 : decimals < 0 || decimals > kMaxDigits) return 0;
  switch (type) {
    case 5: {
      i128 v;
      if (len == 1) v = is_signed ? i128(int8_t(p[0])) : i128(p[0]);
      else if (len == 2) {
        uint16_t u = uint16_t(p[0] | p[1] << 8);
        v = is_signed ? i128(int16_t(u)) : i128(u);
      } else if (len == 4) {
        uint32_t u = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        v = is_signed ? i128(int32_t(u)) : i128(u);
      } else {
        return 0;
      }
      n->value = v;
      n->scale = decimals;
      return 1;
    }
    case 8:
      if (!packed_get(p, len, &n->value)) return 0;
      n->scale = decimals;
      return 1;
    case 12: {
      if (!packed_get(p, 8, &n->value)) return 0;
      int s = int8_t(p[8]);
      if (s < -kMaxDigits || s > kMaxDigits) return 0;
      if (s < 0) {  // a value kept by its highest digits: the low integer digits are zeros
        if (digit_count(n->value) - s > kMaxDigits) return 0;
        n->value *= pow10(-s);
        s = 0;
      }
      n->scale = s;
      return 1;
    }
    default:
      return 0;
  }
}

int cv_num_put(int type, void* stored, int len, int digits, int decimals, bool is_signed, CvNum n,
               uint32_t* msg) {
  auto refuse = [&](uint32_t m) {
    if (msg) *msg = m;
    return 0;
  };
  uint8_t* p = static_cast<uint8_t*>(stored);
  if (!p) return refuse(200050);
  if (type == 12 ? len < 9 : decimals < 0 || decimals > kMaxDigits) return refuse(200050);
  // Trailing zero decimals lose nothing: drop them before the check.
  while (n.scale > 0 && n.value % 10 == 0) {
    n.value /= 10;
    --n.scale;
  }
  if (n.value < 0 && !is_signed) return refuse(100550);
  if (type == 12) {
    // (Its scale byte reads back 31 decimals at most.)
    if (n.scale > 31 || (n.scale > decimals && decimals > 0)) return refuse(100790);
    if (n.scale < 0) {
      if (!rescale(n, 0)) return refuse(200050);
    }
    if (digit_count(n.value) > 15) return refuse(200050);
    int int_digits = digit_count(n.value) - n.scale;
    if (digits > 0 && int_digits > digits) return refuse(200050);
    uint8_t tmp[9];
    if (!packed_put(tmp, 8, n.value)) return refuse(200050);
    tmp[8] = uint8_t(n.scale);
    std::memcpy(p, tmp, 9);
    return 1;
  }
  if (n.scale > decimals) return refuse(100790);
  if (!rescale(n, decimals)) return refuse(200050);
  i128 mag = n.value < 0 ? -n.value : n.value;
  if (digits > 0 && digit_count(mag / pow10(decimals)) > digits) return refuse(200050);
  if (type == 8) {
    uint8_t tmp[16];
    if (!packed_put(tmp, len, n.value)) return refuse(200050);
    std::memcpy(p, tmp, size_t(len));
    return 1;
  }
  if (type != 5) return refuse(200050);
  // Binary: the whole range of the size; for unsigned fields the value with
  // all bits set is the null value and is not taken.
  i128 lo, hi;
  switch (len) {
    case 1: lo = is_signed ? -128 : 0; hi = is_signed ? 127 : 254; break;
    case 2: lo = is_signed ? -32768 : 0; hi = is_signed ? 32767 : 65534; break;
    case 4: lo = is_signed ? -i128(2147483648LL) : 0; hi = is_signed ? 2147483647 : 4294967294LL; break;
    default: return refuse(200050);
  }
  if (n.value < lo || n.value > hi) return refuse(200050);
  uint32_t u = uint32_t(int64_t(n.value));
  for (int i = 0; i < len; ++i) p[i] = uint8_t(u >> (8 * i));
  return 1;
}
