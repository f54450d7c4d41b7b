#include "screen/trie.h"

#include <algorithm>

#include "screen/tm.h"

KeyTrie::KeyTrie() { nodes_.emplace_back(); }

void KeyTrie::clear() {
  nodes_.clear();
  nodes_.emplace_back();
  entries_.clear();
  free_.clear();
}

int KeyTrie::step(int node, uint8_t byte) const {
  if (node < 0 || size_t(node) >= nodes_.size()) return -1;
  const auto& k = nodes_[size_t(node)].kids;
  auto it = std::lower_bound(k.begin(), k.end(), byte,
                             [](const std::pair<uint8_t, int>& p, uint8_t b) { return p.first < b; });
  return (it != k.end() && it->first == byte) ? it->second : -1;
}

const TrieEntry* KeyTrie::entry(int node) const {
  if (node < 0 || size_t(node) >= nodes_.size()) return nullptr;
  int e = nodes_[size_t(node)].entry;
  return e < 0 ? nullptr : &entries_[size_t(e)];
}

bool KeyTrie::has_children(int node) const {
  return node >= 0 && size_t(node) < nodes_.size() && !nodes_[size_t(node)].kids.empty();
}

void KeyTrie::add(std::string_view seq, std::vector<uint32_t> values) {
  if (seq.empty() || values.empty()) return;
  int node = 0;
  for (char c : seq) {
    uint8_t b = uint8_t(c);
    int next = step(node, b);
    if (next < 0) {
      next = int(nodes_.size());
      nodes_.emplace_back();
      auto& k = nodes_[size_t(node)].kids;
      auto it = std::lower_bound(k.begin(), k.end(), b,
                                 [](const std::pair<uint8_t, int>& p, uint8_t x) { return p.first < x; });
      k.insert(it, {b, next});
    }
    node = next;
  }
  Node& n = nodes_[size_t(node)];
  if (n.entry >= 0) {
    entries_[size_t(n.entry)].values = std::move(values);
    return;
  }
  int e;
  if (!free_.empty()) {
    e = free_.back();
    free_.pop_back();
  } else {
    e = int(entries_.size());
    entries_.emplace_back();
  }
  entries_[size_t(e)].seq = std::string(seq);
  entries_[size_t(e)].values = std::move(values);
  n.entry = e;
}

bool KeyTrie::remove(std::string_view seq) {
  int node = 0;
  for (char c : seq) {
    node = step(node, uint8_t(c));
    if (node < 0) return false;
  }
  Node& n = nodes_[size_t(node)];
  if (seq.empty() || n.entry < 0) return false;
  entries_[size_t(n.entry)].seq.clear();
  entries_[size_t(n.entry)].values.clear();
  free_.push_back(n.entry);
  n.entry = -1;
  return true;
}

std::vector<const TrieEntry*> KeyTrie::entries() const {
  std::vector<const TrieEntry*> out;
  for (const auto& e : entries_)
    if (!e.values.empty()) out.push_back(&e);
  std::sort(out.begin(), out.end(), [](const TrieEntry* a, const TrieEntry* b) { return a->seq < b->seq; });
  return out;
}

const TrieEntry* KeyTrie::find_code(uint32_t code) const {
  for (const TrieEntry* e : entries())
    if (e->values.size() == 1 && e->values[0] == code) return e;
  return nullptr;
}

namespace {
bool printable(uint8_t b) { return (b >= 32 && b < 127) || b >= 160; }

// The parameter bytes of an SS3 sequence: digits and ';'.
bool ss3_param(uint8_t b) { return (b >= '0' && b <= '9') || b == ';'; }

// Consumes the rest of an escape sequence that no entry knows, after the
// bytes already read (which begin with ESC).
void swallow_escape(std::string& got, int delay, ByteSource& src) {
  if (got.size() == 1) {
    int b = src.read(delay);
    if (b < 0) return;
    got.push_back(char(b));
  }
  uint8_t intro = uint8_t(got[1]);
  if (intro == '[') {
    // CSI: parameter and intermediate bytes, then one final byte 0x40-0x7E.
    for (size_t i = 2; i < got.size(); ++i)
      if (uint8_t(got[i]) >= 0x40 && uint8_t(got[i]) <= 0x7E) return;
    for (int n = 0; n < 64; ++n) {
      int b = src.read(delay);
      if (b < 0) return;
      got.push_back(char(b));
      if (b >= 0x40 && b <= 0x7E) return;
    }
  } else if (intro == 'O') {
    // SS3: modifier digits (ESC O 2 P, shifted F1 on some terminals), then
    // the byte that ends it.
    for (size_t i = 2; i < got.size(); ++i)
      if (!ss3_param(uint8_t(got[i]))) return;
    for (int n = 0; n < 64; ++n) {
      int b = src.read(delay);
      if (b < 0) return;
      got.push_back(char(b));
      if (!ss3_param(uint8_t(b))) return;
    }
  }
}

// The length of the escape sequence at the start of s (CSI up to and with
// its final byte, SS3 with its modifier digits and the byte after them),
// npos when s stops before its end.
size_t escape_end(const std::string& s) {
  for (size_t i = 2; i < s.size(); ++i) {
    uint8_t b = uint8_t(s[i]);
    if (s[1] == 'O' ? !ss3_param(b) : b >= 0x40 && b <= 0x7E) return i + 1;
  }
  return std::string::npos;
}

int utf8_len(uint8_t lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}
}  // namespace

KeyMatch trie_read_key(const KeyTrie& t, int first_ms, int esc_delay_ms, bool utf8, ByteSource& src) {
  KeyMatch m;
  int b = src.read(first_ms);
  if (b == kTmTimeout) { m.kind = KeyMatch::Timeout; return m; }
  if (b == kTmResize) { m.kind = KeyMatch::Resize; return m; }
  if (b < 0) { m.kind = KeyMatch::Eof; return m; }

  std::string got(1, char(b));
  int node = t.step(0, uint8_t(b));
  const TrieEntry* best = nullptr;
  size_t best_len = 0;
  while (node >= 0) {
    if (const TrieEntry* e = t.entry(node)) {
      best = e;
      best_len = got.size();
    }
    if (!t.has_children(node)) break;
    int nb = src.read(esc_delay_ms);
    if (nb == kTmResize || nb == kTmEof) {
      // Keep the event for the next read; decide the key with what we have.
      src.unread_event(nb);
      break;
    }
    if (nb < 0) break;
    got.push_back(char(nb));
    node = t.step(node, uint8_t(nb));
  }
  // An escape sequence (CSI or SS3) that runs past the entry found is a
  // longer key no entry knows, not the entry followed by typing. One cut
  // short by a pause right where an entry ends (Alt-[ or Alt-O in a
  // recorded keymap) is that entry.
  if (got.size() >= 2 && uint8_t(got[0]) == 0x1B && (got[1] == '[' || got[1] == 'O')) {
    size_t end = escape_end(got);
    if (!best || (end == std::string::npos ? got.size() : end) > best_len) {
      if (end != std::string::npos) {
        if (got.size() > end) src.unread(std::string_view(got).substr(end));
        got.resize(end);
      } else {
        swallow_escape(got, esc_delay_ms, src);
      }
      m.kind = KeyMatch::Unknown;
      m.bytes = got;
      return m;
    }
  }
  // ESC and, within the delay, a byte that continues no key: one key the
  // keymap does not know (Alt with a letter, a digit or ENTER), not ESC
  // followed by typing. A second ESC is ESC pressed twice.
  if (best && best_len == 1 && uint8_t(got[0]) == 0x1B && got.size() >= 2 && uint8_t(got[1]) != 0x1B) {
    if (got.size() > 2) src.unread(std::string_view(got).substr(2));
    got.resize(2);
    int n = utf8 ? utf8_len(uint8_t(got[1])) : 0;
    for (int i = 1; i < n; ++i) {
      int c = src.read(esc_delay_ms);
      if (c < 0 || (c & 0xC0) != 0x80) {
        if (c >= 0) src.unread(std::string(1, char(c)));
        break;
      }
      got.push_back(char(c));
    }
    m.kind = KeyMatch::Unknown;
    m.bytes = got;
    return m;
  }
  if (best) {
    if (got.size() > best_len) src.unread(std::string_view(got).substr(best_len));
    m.kind = KeyMatch::Key;
    m.entry = best;
    m.bytes = got.substr(0, best_len);
    return m;
  }
  // No entry: give back what followed the first byte and judge that byte.
  uint8_t first = uint8_t(got[0]);
  if (got.size() > 1) src.unread(std::string_view(got).substr(1));
  got.resize(1);
  if (first == 0x1B) {
    swallow_escape(got, esc_delay_ms, src);
    m.kind = KeyMatch::Unknown;
    m.bytes = got;
    return m;
  }
  if (utf8 && first >= 0x80) {
    int n = utf8_len(first);
    uint32_t cp = n == 2 ? (first & 0x1F) : n == 3 ? (first & 0x0F) : (first & 0x07);
    bool ok = n > 0;
    for (int i = 1; ok && i < n; ++i) {
      int c = src.read(esc_delay_ms);
      if (c < 0 || (c & 0xC0) != 0x80) {
        if (c >= 0) src.unread(std::string(1, char(c)));
        ok = false;
        break;
      }
      got.push_back(char(c));
      cp = (cp << 6) | uint32_t(c & 0x3F);
    }
    m.bytes = got;
    if (ok && cp >= 0xA0 && cp <= 0xFF) {
      m.kind = KeyMatch::Char;
      m.ch = uint8_t(cp);
    } else {
      m.kind = KeyMatch::Unknown;
    }
    return m;
  }
  m.bytes = got;
  if (printable(first)) {
    m.kind = KeyMatch::Char;
    m.ch = first;
  } else {
    m.kind = KeyMatch::Unknown;
  }
  return m;
}
