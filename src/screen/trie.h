// Key tries: the byte sequences a terminal sends for its keys, mapped to
// option codes (a plain key) or to a list of codes and characters (a macro).
//
// Reading a key is a walk from the root, one byte at a time. A sequence that
// is also the start of a longer one (ESC alone against ESC [ A) is decided by
// time: when the next byte does not come within the keymap's delay, the
// shorter one is taken.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TrieEntry {
  std::string seq;
  std::vector<uint32_t> values;  // option codes, or kKmChar | byte (wmrec.h)
};

class KeyTrie {
 public:
  KeyTrie();
  // Adds or replaces the entry for seq (1 byte at least).
  void add(std::string_view seq, std::vector<uint32_t> values);
  // Removes the entry for seq; false when there is none.
  bool remove(std::string_view seq);
  void clear();

  // Walking: node 0 is the root; step() gives the child for the byte or -1.
  int step(int node, uint8_t byte) const;
  // The entry that ends at this node, or nullptr.
  const TrieEntry* entry(int node) const;
  // True when longer sequences continue from this node.
  bool has_children(int node) const;

  // Every entry, in sequence order.
  std::vector<const TrieEntry*> entries() const;
  size_t size() const { return entries_.size() - free_.size(); }
  // The entry whose values are exactly {code}, or nullptr (the first such key).
  const TrieEntry* find_code(uint32_t code) const;

 private:
  struct Node {
    std::vector<std::pair<uint8_t, int>> kids;  // sorted by byte
    int entry = -1;
  };
  std::vector<Node> nodes_;
  std::vector<TrieEntry> entries_;
  std::vector<int> free_;
};

// The result of matching one key from a byte source.
struct KeyMatch {
  enum Kind { Key, Char, Unknown, Timeout, Resize, Eof } kind = Timeout;
  const TrieEntry* entry = nullptr;  // Key
  uint8_t ch = 0;                    // Char
  std::string bytes;                 // the bytes consumed
};

// A source of key bytes: read() gives a byte, or one of the driver's kTm*
// results (tm.h); unread() gives bytes back, to be read again first, and
// unread_event() a resize or end-of-input result, delivered after them.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual int read(int timeout_ms) = 0;
  virtual void unread(std::string_view bytes) = 0;
  virtual void unread_event(int result) = 0;
};

// Reads one key: the first byte within first_ms (negative: no limit),
// further bytes of a sequence within esc_delay_ms. The longest sequence of
// the trie that the bytes spell wins; bytes read past it are given back.
// Bytes that no entry starts with give a Char when they are one printable
// byte (32-126, 160-255), else Unknown; an unmatched escape sequence is
// consumed whole (CSI up to its final byte, SS3 with its modifier digits and
// its letter, ESC and one byte) so that none of its bytes reach a field; so
// is ESC followed within the delay by a byte that continues no key, even
// where ESC alone is a key (Alt with a letter types nothing). An entry that
// is a cut-off escape sequence (Alt-[ is ESC [) is taken when a pause
// follows it. With utf8, a character
// arrives as its UTF-8 bytes and is a Char when it is in ISO 8859-1
// (U+00A0-U+00FF), else Unknown.
KeyMatch trie_read_key(const KeyTrie& t, int first_ms, int esc_delay_ms, bool utf8, ByteSource& src);
