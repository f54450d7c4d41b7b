// Key tries: longest match, timing, unknown sequences, UTF-8 characters.
#include <gtest/gtest.h>

#include <deque>

#include "screen/tm.h"
#include "screen/trie.h"
#include "screen/wmrec.h"

namespace {

// Bytes with pauses (kTmTimeout) between keys; unread() puts bytes back.
class Script : public ByteSource {
 public:
  std::deque<int> q;
  void keys(std::initializer_list<std::string> ks) {
    for (const auto& k : ks) {
      for (char c : k) q.push_back(uint8_t(c));
      q.push_back(kTmTimeout);
    }
  }
  int read(int timeout_ms) override {
    while (!q.empty() && q.front() == kTmTimeout && timeout_ms < 0) q.pop_front();
    if (q.empty()) return timeout_ms < 0 ? kTmEof : kTmTimeout;
    int b = q.front();
    q.pop_front();
    return b;
  }
  void unread(std::string_view bytes) override {
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) q.push_front(uint8_t(*it));
  }
  void unread_event(int r) override { q.push_front(r); }
};

KeyTrie sample() {
  KeyTrie t;
  t.add("\x1b", {278});
  t.add("\x1b[A", {20002});
  t.add("\x1b[1;5A", {325});
  t.add("\x1bOP", {276});
  t.add("\r", {304});
  t.add("\x1b[[A", {276});  // a console F1: '[' as its final byte
  t.add("\x18", {kKmChar | 'h', kKmChar | 'i', 304});
  return t;
}

KeyMatch next(const KeyTrie& t, Script& s, bool utf8 = false) { return trie_read_key(t, -1, 50, utf8, s); }

// The next key in words: "key 304" (its option codes), "char a", "unknown "
// and its bytes, or "eof", "timeout", "resize".
std::string next_words(const KeyTrie& t, Script& s, bool utf8 = false) {
  KeyMatch m = next(t, s, utf8);
  switch (m.kind) {
    case KeyMatch::Key: {
      std::string w = "key";
      for (uint32_t v : m.entry->values) w += " " + std::to_string(v);
      return w;
    }
    case KeyMatch::Char: return "char " + std::string(1, char(m.ch));
    case KeyMatch::Unknown: return "unknown " + m.bytes;
    case KeyMatch::Eof: return "eof";
    case KeyMatch::Resize: return "resize";
    default: return "timeout";
  }
}

TEST(Trie, LongestSequenceWinsAndPrefixWaitsForTime) {
  KeyTrie t = sample();
  Script s;
  s.keys({"\x1b[A", "\x1b", "\x1b[1;5A", "\x1bOP", "\r", "\x1b[[A"});
  EXPECT_EQ(next_words(t, s), "key 20002");
  EXPECT_EQ(next_words(t, s), "key 278");  // ESC alone: the pause decides
  EXPECT_EQ(next_words(t, s), "key 325");
  EXPECT_EQ(next_words(t, s), "key 276");
  EXPECT_EQ(next_words(t, s), "key 304");
  KeyMatch m = next(t, s);
  ASSERT_EQ(m.kind, KeyMatch::Key);
  EXPECT_EQ(m.bytes, "\x1b[[A");
  EXPECT_EQ(next_words(t, s), "eof");
}

TEST(Trie, KeysTypedWithoutPausesAreSplitAtTheirEnds) {
  KeyTrie t = sample();
  Script s;
  for (char c : std::string("\r\x1b[Aab\r")) s.q.push_back(uint8_t(c));
  EXPECT_EQ(next_words(t, s), "key 304");
  EXPECT_EQ(next_words(t, s), "key 20002");
  EXPECT_EQ(next_words(t, s), "char a");
  EXPECT_EQ(next_words(t, s), "char b");
  EXPECT_EQ(next_words(t, s), "key 304");
}

TEST(Trie, UnknownEscapeSequencesAreSwallowedWhole) {
  KeyTrie t = sample();
  Script s;
  // A CSI no entry knows, one that starts like a known one, an unknown SS3,
  // a sequence cut by a pause, then plain typing.
  for (char c : std::string("\x1b[15~\x1b[1;5Bx\x1bOQy")) s.q.push_back(uint8_t(c));
  s.keys({"\x1b[12"});
  s.keys({"z"});
  EXPECT_EQ(next_words(t, s), "unknown \x1b[15~");
  EXPECT_EQ(next_words(t, s), "unknown \x1b[1;5B");
  EXPECT_EQ(next_words(t, s), "char x");
  EXPECT_EQ(next_words(t, s), "unknown \x1bOQ");
  EXPECT_EQ(next_words(t, s), "char y");
  EXPECT_EQ(next(t, s).kind, KeyMatch::Unknown);
  EXPECT_EQ(next_words(t, s), "char z");
  // Modifiers: shifted F1 as some terminals send it (ESC O 2 P, ESC O 1;2 P)
  // and CTRL-ENTER with xterm's modifyOtherKeys.
  for (char c : std::string("\x1bO2Px\x1bO1;9Py\x1b[27;5;13~z")) s.q.push_back(uint8_t(c));
  EXPECT_EQ(next_words(t, s), "unknown \x1bO2P");
  EXPECT_EQ(next_words(t, s), "char x");
  EXPECT_EQ(next_words(t, s), "unknown \x1bO1;9P");
  EXPECT_EQ(next_words(t, s), "char y");
  EXPECT_EQ(next_words(t, s), "unknown \x1b[27;5;13~");
  EXPECT_EQ(next_words(t, s), "char z");
  // Control bytes without an entry are unknown, never characters.
  s.keys({"\x01", "\x80"});
  EXPECT_EQ(next(t, s).kind, KeyMatch::Unknown);
  EXPECT_EQ(next(t, s).kind, KeyMatch::Unknown);
}

TEST(Trie, AltKeysAreOneUnknownKeyNotEscAndTyping) {
  KeyTrie t = sample();
  Script s;
  // Alt-a, Alt-ENTER and Alt-e-acute come as ESC and the key without a
  // pause: nothing of them is ESC's CANCEL or typing. ESC twice is ESC
  // twice; ESC, a pause and a letter is ESC and the letter.
  s.keys({"\x1b" "a", "\x1b\r", "\x1b\xc3\xa9", "\x1b\x1b", "\x1b", "a"});
  EXPECT_EQ(next_words(t, s, true), "unknown \x1b" "a");
  EXPECT_EQ(next_words(t, s, true), "unknown \x1b\r");
  EXPECT_EQ(next_words(t, s, true), "unknown \x1b\xc3\xa9");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(next_words(t, s, true), "key 278") << i;
  EXPECT_EQ(next_words(t, s, true), "char a");
}

// Bytes that come at once with a key and do not continue it are the next
// keys, however the key was decided: an entry that longer ones continue, a
// prefix of entries only, a broken UTF-8 character, Alt with a character.
TEST(Trie, BytesThatContinueNoKeyAreTheNextKeys) {
  KeyTrie t = sample();
  t.add("\x05", {274});
  t.add("\x05\x05", {257});
  t.add("\x02\x02", {257});
  Script s;
  for (char c : std::string("\x05" "a" "\x02" "b" "\xc3" "c" "\xc3\xc3\xa9" "\x1b\xc3\xa9" "d" "\x1b\xc3" "e"))
    s.q.push_back(uint8_t(c));
  EXPECT_EQ(next_words(t, s, true), "key 274");
  EXPECT_EQ(next_words(t, s, true), "char a");
  EXPECT_EQ(next_words(t, s, true), "unknown \x02");
  EXPECT_EQ(next_words(t, s, true), "char b");
  EXPECT_EQ(next_words(t, s, true), "unknown \xc3");
  EXPECT_EQ(next_words(t, s, true), "char c");
  EXPECT_EQ(next_words(t, s, true), "unknown \xc3");
  EXPECT_EQ(next_words(t, s, true), "char \xe9");
  EXPECT_EQ(next_words(t, s, true), "unknown \x1b\xc3\xa9");
  EXPECT_EQ(next_words(t, s, true), "char d");
  EXPECT_EQ(next_words(t, s, true), "unknown \x1b\xc3");
  EXPECT_EQ(next_words(t, s, true), "char e");
  // A key with no longer sequences is decided without waiting: the pause
  // after it is still there.
  s.q = {'\r', kTmTimeout, 'a'};
  EXPECT_EQ(next_words(t, s), "key 304");
  EXPECT_EQ(trie_read_key(t, 0, 50, false, s).kind, KeyMatch::Timeout);
  // The end of input inside a sequence decides it and still comes next.
  s.q = {0x1b, kTmEof, 'a'};
  EXPECT_EQ(next_words(t, s), "key 278");
  EXPECT_EQ(next_words(t, s), "eof");
}

// Alt-[ and Alt-O are ESC [ and ESC O, the starts of the terminal's escape
// sequences: recorded as keys, they are those keys when a pause follows.
TEST(Trie, EntryThatIsACutOffEscapeSequenceIsTakenAtAPause) {
  KeyTrie t = sample();
  t.add("\x1b[", {274});
  t.add("\x1bO", {257});
  Script s;
  s.keys({"\x1b[", "\x1bO", "\x1b[A", "\x1bOP", "\x1b[1"});
  EXPECT_EQ(next_words(t, s), "key 274");
  EXPECT_EQ(next_words(t, s), "key 257");
  EXPECT_EQ(next_words(t, s), "key 20002");
  EXPECT_EQ(next_words(t, s), "key 276");
  EXPECT_EQ(next_words(t, s), "unknown \x1b[1");  // no entry ends there
}

TEST(Trie, Utf8CharactersBecomeLatin1Bytes) {
  KeyTrie t = sample();
  Script s;
  s.keys({"\xc3\xa9", "\xc2\xa3", "\xe2\x82\xac", "\xc3", "\xe9"});
  EXPECT_EQ(next_words(t, s, true), "char \xE9");
  EXPECT_EQ(next_words(t, s, true), "char \xA3");
  EXPECT_EQ(next(t, s, true).kind, KeyMatch::Unknown);  // the euro sign is not in ISO 8859-1
  EXPECT_EQ(next(t, s, true).kind, KeyMatch::Unknown);  // a lead byte alone
  EXPECT_EQ(next(t, s, true).kind, KeyMatch::Unknown);  // a Latin-1 byte on a UTF-8 terminal
  s.keys({"\xe9"});
  EXPECT_EQ(next_words(t, s, false), "char \xE9");  // on an 8-bit terminal it is the character
  // Characters beyond ISO 8859-1 are one unknown key each, whatever their
  // length (U+07FF, U+10FFFF); a byte that starts none is one alone.
  for (char c : std::string("\xdf\xbf\xf4\x8f\xbf\xbf\xf5\x80")) s.q.push_back(uint8_t(c));
  EXPECT_EQ(next_words(t, s, true), "unknown \xdf\xbf");
  EXPECT_EQ(next_words(t, s, true), "unknown \xf4\x8f\xbf\xbf");
  EXPECT_EQ(next_words(t, s, true), "unknown \xf5");
  EXPECT_EQ(next_words(t, s, true), "unknown \x80");
}

TEST(Trie, EntriesReplaceRemoveAndFind) {
  KeyTrie t = sample();
  EXPECT_EQ(t.size(), 7u);
  t.add("\r", {274});
  EXPECT_EQ(t.size(), 7u);
  EXPECT_EQ(t.find_code(274)->seq, "\r");
  EXPECT_TRUE(t.remove("\x1b[A"));
  EXPECT_FALSE(t.remove("\x1b[A"));
  EXPECT_FALSE(t.remove("\x1b["));
  EXPECT_EQ(t.size(), 6u);
  EXPECT_EQ(t.entries().size(), 6u);
  t.add("\x1b", {273});  // the first entry made
  t.add("\x1b[B", {});   // no values: no key
  EXPECT_EQ(t.size(), 6u);
  EXPECT_EQ(t.find_code(273)->seq, "\x1b");
  t.add("\x1b[A", {20003});
  EXPECT_EQ(t.size(), 7u);
  Script s;
  s.keys({"\x1b[A"});
  EXPECT_EQ(next(t, s).entry->values[0], 20003u);
  auto es = t.entries();
  ASSERT_EQ(es.size(), 7u);
  for (size_t i = 1; i < es.size(); ++i) EXPECT_LT(es[i - 1]->seq, es[i]->seq);
}

TEST(Trie, TimeOutAndEventsDuringASequence) {
  KeyTrie t = sample();
  Script s;
  EXPECT_EQ(trie_read_key(t, 10, 50, false, s).kind, KeyMatch::Timeout);
  s.q = {0x1b, kTmResize};
  KeyMatch m = trie_read_key(t, -1, 50, false, s);
  EXPECT_EQ(m.kind, KeyMatch::Key);  // ESC, decided at the event
  EXPECT_EQ(trie_read_key(t, -1, 50, false, s).kind, KeyMatch::Resize);
}

// Every byte a keymap leaves unmapped, on both paths: the 8-bit byte and the
// UTF-8 spelling of the same code point give the same result, a character
// only for U+0020-U+007E and U+00A0-U+00FF; control bytes (DEL among them)
// are unknown keys, never typed into a field.
TEST(Trie, UnmappedBytesAreTheSameCharactersOnBothPaths) {
  KeyTrie t;
  t.add("\x1b[A", {20002});
  for (int cp = 0; cp < 256; ++cp) {
    if (cp == 0x1B) continue;  // the escape prefix has tests of its own
    bool want = (cp >= 0x20 && cp <= 0x7E) || cp >= 0xA0;
    Script eight;
    eight.keys({std::string(1, char(cp))});
    KeyMatch a = next(t, eight, false);
    Script utf;
    std::string enc = cp < 0x80 ? std::string(1, char(cp))
                                : std::string{char(0xC0 | (cp >> 6)), char(0x80 | (cp & 0x3F))};
    utf.keys({enc});
    KeyMatch b = next(t, utf, true);
    EXPECT_EQ(a.kind, want ? KeyMatch::Char : KeyMatch::Unknown) << "8-bit byte " << cp;
    EXPECT_EQ(b.kind, want ? KeyMatch::Char : KeyMatch::Unknown) << "UTF-8 U+" << std::hex << cp;
    if (want) {
      EXPECT_EQ(a.ch, cp);
      EXPECT_EQ(b.ch, cp);
    }
    EXPECT_EQ(b.bytes, enc);
  }
  // ESC is no key here: alone, with a letter, or starting a sequence, it is
  // one unknown key with what follows at once.
  Script s;
  s.q = {0x1b, kTmTimeout, kTmTimeout};
  s.keys({"\x1bx", "\x1bOQ", "\x1b[15~"});
  EXPECT_EQ(next_words(t, s), "unknown \x1b");
  EXPECT_EQ(next_words(t, s), "unknown \x1bx");
  EXPECT_EQ(next_words(t, s), "unknown \x1bOQ");
  EXPECT_EQ(next_words(t, s), "unknown \x1b[15~");
}

}  // namespace
