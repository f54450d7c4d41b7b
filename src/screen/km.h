// Keymaps: which byte sequences of a terminal give which option codes, kept
// per terminal type and user as records of System Administration.
//
// Source form (data/keymaps/*.km, one file per family of terminals):
//
//   # comment
//   terminals xterm xterm-256color     the terminal types this file serves
//   include common.km                  the lines of another file, here
//   delay 60                           ms to wait for the rest of a sequence
//   kf1        HELP                    terminfo key capability -> option
//   "\e[1~"    FIELD START             quoted bytes (\e \r \n \t \\ \" \xHH ^X)
//   ^X         END                     a control character
//   kf12       "Mr. " ENTER            several values: a macro
//
// An option is a name of km_option_names() or a number 0-65535; a quoted
// text in the values is typed as characters. A capability the terminal's
// terminfo lacks skips its line for that terminal. Later lines replace
// earlier ones for the same key.
//
// Stored form: the KmHead record of wmrec.h and its entries, little-endian,
// with a checksum; a record that does not decode is refused with a reason.
//
// Which keymap applies: the record of (terminal type, user id), else the one
// of (terminal type, blank user); none: "Keymap Missing for this
// Terminal/User" and exit code 3.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "screen/trie.h"

constexpr int kKmDefaultDelay = 60;
extern const char* const kKmMissingText;  // "Keymap Missing for this Terminal/User"

struct Keymap {
  std::string term;   // terminal type
  std::string user;   // user id, empty for every user
  int esc_delay = kKmDefaultDelay;
  bool recorded = false;  // recorded with the keymap utility (the bootstrap leaves it alone)
  KeyTrie trie;
};
// The largest keymap record the store reads.
constexpr size_t kKmMaxFile = 1 << 20;

// ---------------------------------------------------------- option names --
struct KmOptionName {
  const char* name;
  uint16_t code;
};
// Every named option code (END, CANCEL, ENTER, CURSOR UP, PAN LEFT, ...).
const std::vector<KmOptionName>& km_option_names();
// The name of a code ("OPTION 12" for a numbered option, the number for an
// unnamed code).
std::string km_option_name(uint32_t code);
// A name (any case, blanks or underscores between words) or a number; -1 when
// neither.
int km_option_code(std::string_view text);

// ------------------------------------------------------------- records --
std::vector<uint8_t> km_encode(const Keymap& km);
// Decodes a stored record; false with the reason when it is damaged.
bool km_decode(const uint8_t* rec, size_t len, Keymap* out, std::string* why);

// --------------------------------------------------------------- store --
// Where keymap records are kept. The default store keeps one file per record
// in $QUVOPATH/keymaps; the file manager's KEYMAP file of System
// Administration takes its place through km_set_store.
class KmStore {
 public:
  virtual ~KmStore() = default;
  // Reads the record of (term, user); false when there is none (why
  // stays empty) or when it may not be read (why says so). user is empty
  // for the record of every user.
  virtual bool get(std::string_view term, std::string_view user, std::vector<uint8_t>* rec,
                   std::string* why) = 0;
  virtual bool put(std::string_view term, std::string_view user, const std::vector<uint8_t>& rec,
                   std::string* err) = 0;
  // 1 when put can store records here; 0 with the reason.
  virtual int writable(std::string* why) = 0;
  // "" when the store may be read; otherwise why not, and who can mend it
  // (the start then says so, not "Keymap Missing").
  virtual std::string unreadable() { return ""; }
};
KmStore& km_store();
// Replaces the store (nullptr: back to the default one).
void km_set_store(KmStore* store);
// The default store on a data directory.
std::unique_ptr<KmStore> km_dir_store(const std::string& data_dir);

// Finds the keymap for the terminal type and user: (term, user), then
// (term, every user). Returns 1 with the keymap; 0 when there is none (why
// empty) or when the one found is damaged (why says how).
int km_find(std::string_view term, std::string_view user, Keymap* out, std::string* why);

// The user whose keymap applies: the login name (unique on the host; the
// USER file's three-character id could be shared by two logins).
std::string km_user();
// The keymap of the terminal (TERM) for km_user(). 0 with it; otherwise the
// exit status and why: TERM unset or without a terminfo entry
// (kExitInitFailed, naming TERM), or no keymap (kExitNoKeymap: "Keymap
// Missing for this Terminal/User", then a line naming the terminal type,
// the user and the command that records one; a damaged record's reason
// comes first).
int km_for_terminal(Keymap* km, std::string* why);

// ------------------------------------------------------------- source --
// Compiles source text for one terminal type, resolving capability names
// through its terminfo entry. include lines are read from `dir`. Returns false
// with "file:line: reason" on a syntax error.
bool km_compile_source(std::string_view text, const std::string& dir, const std::string& file,
                       const std::string& term, Keymap* out, std::string* err);
// The terminal types a source file names on its terminals line.
std::vector<std::string> km_source_terms(std::string_view text);

// Installs every *.km file of dir into the store, one record per terminal
// type it names (user blank). Lines of progress go to log; returns the
// number of records written, -1 on an error (err says which).
int km_install(const std::string& dir, KmStore& store, std::string* log, std::string* err);

// ------------------------------------------------------------- utility --
// The keymap utility run mode (quvo -k): records the keys of the terminal
// (TERM) for the user running it (km_user()), or for every user when the
// data directory's owner (or root) runs quvo -k ALL. It checks first that
// the keymap can be stored. It starts from the keymap that applies, if any;
// for each function it shows the keys that give it, the user presses a key
// to add (a key that gave another function moves, and the screen says so),
// SPACE keeps what is there, CTRL-D goes on to saving, CTRL-C leaves with
// nothing saved (status 1), CTRL-Z suspends. A key is the bytes of one key
// press as the terminal's terminfo key sequences and the keymap's trie
// decide them (trie_read_key), not their arrival time: three SPACEs typed
// together are three keys. A key that types a character is refused. The
// record is marked as recorded, so the bootstrap leaves it alone.
// Returns the exit status.
int km_util_run();

// The keymap step of the bootstrap (quvo -b): installs the default keymaps
// of the sources in QUVO_KEYMAP_SRC (default: the source tree's
// data/keymaps) into the data directory's store. The bootstrap of the
// system applications runs it as one of its steps; until that bootstrap is
// built, -b runs this step alone. Returns the exit status.
int km_bootstrap();
std::string km_source_dir();
