// The message catalogue: the message source, la_xlate's forms, languages,
// message queues, centred texts and the number separators.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "files/fm.h"
#include "files/lafi.h"
#include "foundation/bi.h"
#include "foundation/la.h"
#include "support/quvo_run.h"
#include "support/syserr.h"

namespace fs = std::filesystem;

namespace {

std::string source_file() { return std::string(QUVO_SOURCE_DIR) + "/data/messages/ENG.txt"; }

std::string xlate(uint32_t msg, int len, int* sev = nullptr) {
  std::string buf(size_t(len), '#');
  LaText t{uint16_t(len), buf.data()};
  int n = la_xlate(msg, &t, sev);
  EXPECT_LE(n, len);
  return buf;
}

std::string pad(std::string s, size_t n) {
  s.resize(n, ' ');
  return s;
}

// A directory of message sources for one test; the catalogue reads it.
struct Sources {
  Sources() {
    dir = fs::temp_directory_path() / ("quvo_la_" + std::to_string(::getpid()) + "_" + std::to_string(++count));
    fs::create_directories(dir);
    setenv("QUVO_MSG_SRC", dir.c_str(), 1);
    la_reset();
  }
  ~Sources() {
    unsetenv("QUVO_MSG_SRC");
    com.language.clear();
    la_reset();
    fs::remove_all(dir);
  }
  void write(const char* name, const std::string& text) { std::ofstream(dir / name) << text; }
  fs::path dir;
  static inline int count = 0;
};

}  // namespace

// The source holds every message once, each line well formed; it covers the
// quoted message numbers (counted here) and marks the texts written here.
TEST(LaSource, EveryNumberOnceAndWellFormed) {
  std::vector<LaSourceMsg> msgs;
  std::string error;
  ASSERT_TRUE(la_read_source(source_file(), &msgs, &error)) << error;
  // Independently of the reader: the numbers of the message lines.
  std::ifstream in(source_file());
  std::string line;
  std::map<std::string, int> seen;
  std::regex msg_line("^([0-9]+) [0-3] [qw] .*");
  size_t lines = 0;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, msg_line)) {
      ++lines;
      EXPECT_EQ(++seen[m[1]], 1) << "message " << m[1] << " given twice";
    }
  }
  EXPECT_EQ(lines, msgs.size());
  size_t written = 0, six = 0;
  for (const LaSourceMsg& m : msgs) {
    if (m.origin == 'w') ++written;
    if (m.number >= 100000 && m.number <= 999999) ++six;
    EXPECT_FALSE(m.text.empty()) << m.number;
  }
  EXPECT_GE(six, 360u);
  std::printf("message source: %zu messages (%zu six-digit), %zu texts written here\n", msgs.size(), six,
              written);
  // The statuses the file manager and the conversions leave.
  std::set<uint32_t> numbers;
  for (const LaSourceMsg& m : msgs) numbers.insert(m.number);
  for (uint32_t n : {200050u, 200060u, 200080u, 200090u, 200100u, 200130u, 200170u, 200340u, 200360u, 200450u,
                     200650u, 100350u, 100550u, 100790u, 102020u, 102540u, 300080u, 300540u, 524000u, 760u})
    EXPECT_TRUE(numbers.count(n)) << n;
}

TEST(LaSource, MalformedLinesAreRefusedWithTheirPlace) {
  Sources s;
  struct Bad {
    const char* text;
    const char* why;
  } bad[] = {
      {"12 1 q fine\n12 2 q again\n", ":2: message 12 given twice"},
      {"x1 1 q text\n", ":1: bad message number"},
      {"\n# c\n5 4 q text\n", ":3: severity must be 0-3"},
      {"5 1 z text\n", ":1: origin must be q or w"},
      {"5 1\n", ":1: expected"},
  };
  for (const Bad& b : bad) {
    s.write("BAD.txt", b.text);
    std::vector<LaSourceMsg> msgs;
    std::string error;
    EXPECT_FALSE(la_read_source((s.dir / "BAD.txt").string(), &msgs, &error)) << b.text;
    EXPECT_NE(error.find(b.why), std::string::npos) << error;
  }
  std::vector<LaSourceMsg> msgs;
  std::string error;
  s.write("OK.txt", "7 0 w   two blanks first\\x41\\\\ \n");
  ASSERT_TRUE(la_read_source((s.dir / "OK.txt").string(), &msgs, &error)) << error;
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text, "  two blanks firstA\\");
}

// A message number has at most nine digits and a text at most 256 bytes
// (trailing blanks and a carriage return do not count).
TEST(LaSource, NumberAndTextAtTheirLimits) {
  Sources s;
  s.write("OK.txt", "999999999 0 q nine digits\r\n6 0 q " + std::string(256, 'b') + "   \n");
  std::vector<LaSourceMsg> msgs;
  std::string error;
  ASSERT_TRUE(la_read_source((s.dir / "OK.txt").string(), &msgs, &error)) << error;
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].number, 999999999u);
  EXPECT_EQ(msgs[0].text, "nine digits");
  EXPECT_EQ(msgs[1].text, std::string(256, 'b'));
  for (const std::string& bad : {std::string("4294967297 0 q ten digits\n"), "6 0 q " + std::string(257, 'b') + "\n"}) {
    s.write("BAD.txt", bad);
    msgs.clear();
    EXPECT_FALSE(la_read_source((s.dir / "BAD.txt").string(), &msgs, &error)) << bad.substr(0, 20);
    EXPECT_NE(error.find("BAD.txt:1: "), std::string::npos) << error;
  }
}

// la_xlate's three forms: a known message with its label, a missing one, an
// error and the system error.
TEST(LaXlate, KnownMissingAndErrorForms) {
  la_reset();
  int sev = -1;
  EXPECT_EQ(xlate(200170, 30, &sev), pad("ERROR - Duplicate key", 30));
  EXPECT_EQ(sev, 2);
  EXPECT_EQ(xlate(200360, 20, &sev), pad("WARNING - End of file", 20));
  EXPECT_EQ(sev, 1);
  EXPECT_EQ(xlate(300560, 40, &sev), pad("Compiling process - please wait", 40));
  EXPECT_EQ(sev, 0);
  EXPECT_EQ(xlate(123456, 60, &sev), pad("Unable to translate message: 123456 (200450,0)", 60));
  EXPECT_EQ(sev, 3);
  la_sys_err("disk full", 0);
  EXPECT_EQ(xlate(200650, 20, &sev), pad("ERROR - disk full", 20));
  EXPECT_EQ(sev, 3);
  // Cut to the buffer; a null buffer measures.
  EXPECT_EQ(xlate(200170, 5), "ERROR");
  LaText none{0, nullptr};
  EXPECT_EQ(la_xlate(200170, &none, nullptr), 21);
  // The collating table: 256 bytes, raw; the date mask without a label.
  std::string table = xlate(524000, 256);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(uint8_t(table[size_t(i)]), i);
  EXPECT_EQ(la_text(760), "06/05/0807 04:03:02");
  char buf[8];
  ASSERT_EQ(la_get_str(buf, sizeof buf, 200170), buf);
  EXPECT_STREQ(buf, "Duplica");
  EXPECT_EQ(la_get_str(buf, sizeof buf, 123456), nullptr);
  EXPECT_STREQ(buf, "");
  // The status of a failed file operation reads with its text.
  SysErrCapture cap(SysErrAnswer::Continue);
  checkstat(200340, "Bad open", "TEST", 1);
  EXPECT_EQ(cap.last(), "Bad open - ERROR - File not found");
}

TEST(LaXlate, TheUsersLanguageThenEnglish) {
  Sources s;
  s.write("ENG.txt", "100 2 q In English\n200 0 q Only English\n");
  s.write("FRA.txt", "100 2 q En fran\xE7" "ais\n");
  com.language.set("FRA");
  EXPECT_EQ(la_text(100), "En fran\xE7" "ais");
  EXPECT_EQ(la_text(200), "Only English");
  com.language.clear();
  EXPECT_EQ(la_text(100), "In English");
  com.error_label.set("ERREUR");
  com.error_len = 6;
  com.language.set("FRA");
  EXPECT_EQ(xlate(100, 20), pad("ERREUR - En fran\xE7" "ais", 20));
  com.error_label.set("ERROR");
  com.error_len = 5;
}

// Severity 3 reads as an error, as 2 does.
TEST(LaXlate, SeverityThreeIsAnError) {
  la_reset();
  int sev = -1;
  EXPECT_EQ(xlate(300300, 30, &sev), pad("ERROR - File is not open", 30));
  EXPECT_EQ(sev, 3);
}

// The catalogue closed under it (the file manager started again) opens again
// on the next look-up; opening leaves the caller's system-error text alone.
TEST(LaXlate, ClosedUnderItOpensAgain) {
  la_reset();
  ASSERT_EQ(la_text(200170), "Duplicate key");
  la_files.close();
  la_sys_err("the caller's error", 0);
  EXPECT_EQ(la_text(200170), "Duplicate key");
  EXPECT_EQ(la_cur_sys_err(), "the caller's error");
  la_sys_err("", 0);
}

// A MESSAGE file in the data directory may be damaged: a text length past
// the 256 bytes of the text field gives the field, never more.
TEST(LaXlate, DamagedLengthStaysInTheTextField) {
  la_reset();
  TempDir data;
  setenv("QUVOPATH", data.str().c_str(), 1);
  FmFdb fdb;
  la_msg_fdb(&fdb, FM_CLASS_DISK);
  ASSERT_EQ(FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR | FM_OPT_CREATE, 0, 0), 1) << fdb.status.get();
  FmArb* f = fdb.handle.get();
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(nullptr, com.base_scope, 0), sizeof(LaMsgRec)));
  for (uint16_t len : {uint16_t(257), uint16_t(65535)}) {
    std::memset(buf, 'x', sizeof(LaMsgRec));
    LaMsgRec& r = rec::view<LaMsgRec>(buf);
    r.lang.set("ENG");
    r.number = len;
    r.severity = 0;
    r.length = len;
    PROTO_FULL(f, 0, buf);
    f->op = 0;
    f->rec_len = 0;
    ASSERT_EQ(fm_write(f), 1) << f->status.get();
  }
  FM_CLOSE(f, 0);
  la_reset();
  EXPECT_EQ(la_text(257), std::string(256, 'x'));
  EXPECT_EQ(la_text(65535), std::string(256, 'x'));
  EXPECT_EQ(xlate(257, 300), pad(std::string(256, 'x'), 300));
  la_reset();
  unsetenv("QUVOPATH");
}

TEST(LaQueue, MessagesWithParametersInOrder) {
  la_reset();
  FmArb* q = la_create_fi(79, com.base_scope);
  ASSERT_NE(q, nullptr);
  char name[] = "CUSTOMER";
  LaText p1{8, name};
  ASSERT_EQ(la_add_msg(4, q, 300210u, 7u, &p1), 1);
  ASSERT_EQ(la_add_msg(3, q, 200460u, 7u), 1);
  char key[] = "NAME, CITY(-)";
  LaText k{13, key};
  ASSERT_EQ(la_add_msg(4, q, 300710u, 7u, &k), 1);
  std::vector<std::string> texts;
  std::vector<int> sevs;
  uint8_t* buf = static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(nullptr, com.base_scope, 0), 100));
  q->rec.set(buf);
  q->op = FM_OP_FIRST;
  ASSERT_EQ(fm_start(q), 1);
  q->op = 0;
  while (fm_rdnxt(q)) {
    const LaQueueRec& r = rec::view<LaQueueRec>(buf);
    EXPECT_EQ(r.key, 7u);
    texts.emplace_back(reinterpret_cast<char*>(buf) + 8, r.length);
    sevs.push_back(r.severity);
  }
  ASSERT_EQ(texts.size(), 3u);
  // Ordered by key and severity, equal ones in the order written.
  EXPECT_EQ(texts[0], "Dynamic key: NAME, CITY(-)");
  EXPECT_EQ(texts[1], "ERROR - CUSTOMER not found");
  EXPECT_EQ(texts[2], "ERROR - You are not allowed to run this process");
  EXPECT_EQ(sevs[0], 0);
  EXPECT_EQ(sevs[1], 2);
  // Bad calls are system errors, never a crash.
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(la_add_msg(2, q, 300210u), 0);
  EXPECT_EQ(cap.last(), "la_add_msg() - bad arg");
  EXPECT_EQ(la_add_msg(3, static_cast<FmArb*>(nullptr), 300210u, 0u), 0);
  EXPECT_EQ(la_add_msg(13, q, 1u, 0u), 0);
  FM_CLOSE(q, FM_CL_SCRATCH);
  // A queue whose records cannot be created: null after the system error.
  EXPECT_EQ(la_create_fi(int(FM_MAX_REC), com.base_scope), nullptr);
  EXPECT_EQ(cap.last(), "la_create_fi() - create failed");
}

// Nine parameters at most (count 12) replace %1 .. %9; %0 is text. A
// parameter's trailing blanks and zeros go; a null parameter is empty.
TEST(LaQueue, NineParametersAtMost) {
  Sources s;
  s.write("ENG.txt", "20 0 w %1%2%3%4%5%6%7%8%9 %0 %\n21 0 w <%1>\n");
  FmArb* q = la_create_fi(40, com.base_scope);
  ASSERT_NE(q, nullptr);
  char v[10][4] = {{'a', 0, 0, 0}, "b", "c", "d", "e", "f", "g", "h", {'i', ' ', ' ', ' '}, "j"};
  LaText p[10];
  for (int i = 0; i < 10; ++i) p[i] = LaText{4, v[i]};
  ASSERT_EQ(la_add_msg(12, q, 20u, 1u, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6], &p[7], &p[8]), 1);
  ASSERT_EQ(la_add_msg(4, q, 21u, 2u, static_cast<LaText*>(nullptr)), 1);
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(la_add_msg(13, q, 20u, 3u, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6], &p[7], &p[8], &p[9]), 0);
  EXPECT_EQ(cap.last(), "la_add_msg() - bad arg");
  std::vector<LaQueued> got = la_queue_read(q);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, "abcdefghi %0 %");
  EXPECT_EQ(got[1].text, "<>");
  FM_CLOSE(q, FM_CL_SCRATCH);
}

// A text is cut to the queue's record (at the length and one past); the
// record length goes up to the file manager's largest record, and is never
// negative. Number 0 queues the text and severity of the handle's record
// buffer, which stays the caller's.
TEST(LaQueue, TextsCutToTheRecord) {
  Sources s;
  s.write("ENG.txt", "22 0 w 0123456789\n");
  for (int reclen : {10, 9}) {
    FmArb* q = la_create_fi(reclen, com.base_scope);
    ASSERT_NE(q, nullptr);
    ASSERT_EQ(la_add_msg(3, q, 22u, 0u), 1);
    std::vector<LaQueued> got = la_queue_read(q);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, std::string("0123456789").substr(0, size_t(reclen)));
    FM_CLOSE(q, FM_CL_SCRATCH);
  }
  FmArb* big = la_create_fi(int(FM_MAX_REC) - 8, com.base_scope);
  EXPECT_NE(big, nullptr);
  if (big) FM_CLOSE(big, FM_CL_SCRATCH);
  SysErrCapture cap(SysErrAnswer::Continue);
  EXPECT_EQ(la_create_fi(int(FM_MAX_REC) - 7, com.base_scope), nullptr);
  EXPECT_EQ(la_create_fi(-1, com.base_scope), nullptr);

  FmArb* q = la_create_fi(10, com.base_scope);
  ASSERT_NE(q, nullptr);
  const uint16_t size = 8 + 10;
  MmPool pool = mm_create_pool(nullptr, com.base_scope, 0);
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool, size));
  LaQueueRec& head = rec::view<LaQueueRec>(buf);
  head.severity = 1;
  head.length = 5;
  std::memcpy(buf + 8, "hello     ", 10);
  q->rec.set(buf);
  q->rec_len = size;
  ASSERT_EQ(la_add_msg(3, q, 0u, 4u), 1);
  EXPECT_EQ(q->rec.get(), buf);
  EXPECT_EQ(q->rec_len, size);
  std::vector<LaQueued> got = la_queue_read(q);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].key, 4u);
  EXPECT_EQ(got[0].severity, 1u);
  EXPECT_EQ(got[0].text, "hello");
  FM_CLOSE(q, FM_CL_SCRATCH);
  // A length past the buffer's record reads no further than the record.
  q = la_create_fi(100, com.base_scope);
  ASSERT_NE(q, nullptr);
  std::memcpy(buf + 8, "helloworld", 10);
  head.length = 60;
  q->rec.set(buf);
  q->rec_len = size;
  ASSERT_EQ(la_add_msg(3, q, 0u, 5u), 1);
  got = la_queue_read(q);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "helloworld");
  FM_CLOSE(q, FM_CL_SCRATCH);
  mm_destroy_pool(pool);
}

TEST(LaCenter, MessagesCentredWithArguments) {
  Sources s;
  s.write("ENG.txt", "10 0 w Report %1 of %2\n11 2 w Bad %3\n");
  char out[24];
  LaText t{24, out};
  int n = la_center(0, &t, 10, "SALES", "MARCH", "");
  EXPECT_EQ(n, 21);
  EXPECT_EQ(std::string(out, 24), " Report SALES of MARCH  ");
  la_center(1, &t, 11, "", "", "Input");
  EXPECT_EQ(std::string(out, 24), "   ERROR - Bad Input    ");
}

// A message not on file centres the reason; a text longer than the buffer
// fills it, and the length says so.
TEST(LaCenter, MissingMessageAndTextLongerThanTheBuffer) {
  Sources s;
  s.write("ENG.txt", "10 0 w Report %1 of %2\n");
  char out[60];
  LaText t{60, out};
  int n = la_center(0, &t, 99, "", "", "");
  EXPECT_NE(std::string(out, 60).find(" Unable to translate message: 99 (200450,0) "), std::string::npos);
  EXPECT_EQ(n, 42);
  LaText small{8, out};
  EXPECT_EQ(la_center(0, &small, 10, "SALES", "MARCH", ""), 8);
}

TEST(LaSeparators, FromTheSourceOrTheDefaults) {
  la_set_sep_source([](const char*, char* dec, char* thou, char cur[4]) {
    *dec = ',';
    *thou = '.';
    std::memcpy(cur, "EUR ", 4);
    return true;
  });
  la_get_dec_sep_cur();
  EXPECT_EQ(com.dec_sep, ',');
  EXPECT_EQ(com.thou_sep, '.');
  EXPECT_EQ(com.currency.str(), "EUR");
  la_set_sep_source(nullptr);
  la_get_dec_sep_cur();
  EXPECT_EQ(com.dec_sep, '.');
  EXPECT_EQ(com.thou_sep, ',');
  EXPECT_EQ(com.currency.str(), "$");
}

// A source whose decimal separator is its thousands separator is not taken.
TEST(LaSeparators, TheSameSeparatorTwiceIsRefused) {
  la_set_sep_source([](const char*, char* dec, char* thou, char cur[4]) {
    *dec = ',';
    *thou = ',';
    std::memcpy(cur, "EUR ", 4);
    return true;
  });
  la_get_dec_sep_cur();
  la_set_sep_source(nullptr);
  EXPECT_EQ(com.dec_sep, '.');
  EXPECT_EQ(com.thou_sep, ',');
  EXPECT_EQ(com.currency.str(), "$");
}

// The set-up of a fresh data directory (quvo -b) puts the messages into its
// MESSAGE file, and the engine reads them from there.
TEST(LaInstall, BootstrapLoadsTheMessagesIntoTheDataDirectory) {
  TempDir data, home, empty;
  std::vector<std::string> env{"QUVOPATH=" + data.str(), "QUVO_TEST_HOME=" + home.str()};
  QuvoRun r = run_quvo({"-b"}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  if (r.out.find("messages: native record files are not built yet") != std::string::npos)
    GTEST_SKIP() << "native record files are not built yet: " << r.out;
  std::ifstream log(data.sub("bootstrap.log"));  // the bootstrap's details
  std::string details((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(details.find("messages: loaded into " + data.str()), std::string::npos) << details;
  // A bootstrapped directory is refused (its records stay).
  r = run_quvo({"-b"}, env);
  ASSERT_NE(r.status, 0) << r.out;
  EXPECT_NE(r.err.find("already holds the system applications"), std::string::npos) << r.err;
  // Read back in this process, with no source to fall back on.
  setenv("QUVOPATH", data.str().c_str(), 1);
  setenv("QUVO_MSG_SRC", empty.str().c_str(), 1);
  la_reset();
  EXPECT_EQ(la_text(200170), "Duplicate key");
  EXPECT_EQ(xlate(102540, 30), pad("ERROR - Date is not valid", 30));
  la_reset();
  unsetenv("QUVO_MSG_SRC");
  unsetenv("QUVOPATH");
}

// Without a data directory nor sources the catalogue says so, never more.
TEST(LaInstall, NoCatalogueAtAll) {
  TempDir empty;
  setenv("QUVO_MSG_SRC", empty.str().c_str(), 1);
  la_reset();
  int sev = 0;
  std::string t = xlate(200170, 60, &sev);
  EXPECT_EQ(t.rfind("Unable to translate message: 200170 (", 0), 0u) << t;
  EXPECT_EQ(sev, 3);
  unsetenv("QUVO_MSG_SRC");
  la_reset();
  EXPECT_EQ(la_text(200170), "Duplicate key");
}

// A memory file of the MESSAGE layout to load sources into.
static FmArb* msg_file() {
  FmFdb fdb;
  la_msg_fdb(&fdb, FM_CLASS_MEMORY);
  fdb.name.set("MSGTEST");
  return FM_CREATE(&fdb, com.base_scope, 0, 0, 0, 15) == 1 ? fdb.handle.get() : nullptr;
}

TEST(LaInstall, LoadingTwiceReplacesTheRecords) {
  Sources s;
  s.write("ENG.txt", "1 0 q one\n2 1 q two\n");
  FmArb* f = msg_file();
  ASSERT_NE(f, nullptr);
  std::string error;
  EXPECT_EQ(la_load_messages(f, s.dir.string(), &error), 2) << error;
  s.write("ENG.txt", "1 0 q one again\n3 2 q three\n");
  EXPECT_EQ(la_load_messages(f, s.dir.string(), &error), 2) << error;
  uint8_t* buf = static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(nullptr, com.base_scope, 0), sizeof(LaMsgRec)));
  std::vector<std::string> texts;
  f->rec.set(buf);
  f->op = FM_OP_FIRST;
  ASSERT_EQ(fm_start(f), 1);
  f->op = 0;
  while (fm_rdnxt(f)) {
    const LaMsgRec& r = rec::view<LaMsgRec>(buf);
    texts.push_back(std::to_string(r.number.get()) + " " +
                    std::string(reinterpret_cast<const char*>(r.text.data()), r.length));
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"1 one again", "2 two", "3 three"}));
  s.write("ENG.txt", "1 7 q bad\n");
  EXPECT_EQ(la_load_messages(f, s.dir.string(), &error), -1);
  EXPECT_NE(error.find("ENG.txt:1: severity"), std::string::npos) << error;
  FM_CLOSE(f, FM_CL_SCRATCH);
}

// The sources of a directory are its <LANG>.txt files, the language in any
// case and of at most 3 characters; other files are not sources.
TEST(LaInstall, TheSourcesOfADirectory) {
  Sources s;
  FmArb* f = msg_file();
  ASSERT_NE(f, nullptr);
  std::string error;
  EXPECT_EQ(la_load_messages(f, s.dir.string(), &error), -1);
  EXPECT_NE(error.find("no message sources"), std::string::npos) << error;
  s.write("ENG.txt", "1 0 q one\n");
  s.write("fra.txt", "1 0 q un\n");
  s.write("README", "not a message\n");
  EXPECT_EQ(la_load_messages(f, s.dir.string(), &error), 2) << error;
  com.language.set("FRA");
  EXPECT_EQ(la_text(1), "un");
  s.write("ENGL.txt", "1 0 q one\n");
  EXPECT_EQ(la_load_messages(f, s.dir.string(), &error), -1);
  EXPECT_NE(error.find("ENGL.txt: a language id has at most 3 characters"), std::string::npos) << error;
  FM_CLOSE(f, FM_CL_SCRATCH);
}

// Sources without a message give no catalogue: a look-up tells the status
// of the data directory's MESSAGE file, not found; the set-up step fails and
// says why.
TEST(LaInstall, SourcesWithoutMessagesGiveNoCatalogue) {
  TempDir data;
  setenv("QUVOPATH", data.str().c_str(), 1);
  Sources s;
  s.write("ENG.txt", "# nothing yet\n");
  EXPECT_EQ(xlate(200170, 60).rfind("Unable to translate message: 200170 (200340,", 0), 0u);
  std::string error;
  EXPECT_EQ(la_install_messages(&error), 0);
  EXPECT_NE(error.find("hold no message"), std::string::npos) << error;
  la_reset();
  unsetenv("QUVOPATH");
}
