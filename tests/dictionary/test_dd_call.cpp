// DD_CMPL through the engine: the real engine in tmux runs a Subroutine of
// statement text that CALLs the compiler for files of its own application
// and reads the MESSAGE1 and MESSAGE2 records the run wrote into the
// process's own memory-resident message files. A file that gained a field
// compiles, and a process using the new field then compiles and runs; a
// file whose definition is wrong gives its message and its compiled
// records stay as they were: each of the designer's mistakes (a 17th key, a
// key of 300 bytes, a mask of 16 digits, a substring past its base, an
// initial value its byte cannot hold) gives its message, its file's
// compiled and design records keep their bytes, and the run's other file
// compiles. The same process's READ is refused a record
// whose security code the user's profile lacks. Each Subroutine ends with
// LOGOUT (127) only when every check held, else END PROC (0).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>

#include "design/sefile.h"
#include "dictionary/dd_support.h"
#include "process/abc_run.h"
#include "support/stmt_text.h"

using namespace ddt;
using namespace stmttext;

namespace {

DDomain alpha(const std::string& name, int len) {
  DDomain d = domain(name, 4, 1);
  d.dflt_len = uint16_t(len);
  return d;
}

class DdCall : public AbcRun {
 protected:
  DdCall() : AbcRun("ddcall") {}

  // The design records of ABC: the message files, CUST (a key and a
  // security code, compiled now; its name field is added after the
  // compile) and BADF (an initial value its 1-byte field cannot hold).
  void SetUp() override {
    AbcRun::SetUp();
    pltest::Engine e;
    e.dir = data;
    e.start(false);
    for (const char* f : {"ELEMENT", "FILE", "DOMAIN", "FIELD", "RECORD", "INITIAL", "BITMAP", "TOKEN"})
      ASSERT_TRUE(fx::sysdir(f, "ABC", "00")) << f;
    const char* A = "ABC";
    put("INIT_DDOM_FDB", domain("N4", 1, 1, "999999"), A);
    put("INIT_DDOM_FDB", domain("N1", 1, 1, "99"), A);
    for (auto [n, l] : {std::pair{"T2", 2}, {"T3", 3}, {"T4", 4}, {"T13", 13}, {"T16", 16}, {"T22", 22},
                        {"T252", 252}, {"NAME", 10}})
      put("INIT_DDOM_FDB", alpha(n, l), A);
    auto file = [&](const char* name, std::vector<std::pair<const char*, const char*>> fields, bool dups = false) {
      DRecord r = record(name);
      r.ftype = 2;   // memory-resident
      put("INIT_DREC_FDB", r, A);
      uint32_t no = 0;
      for (auto [fname, dom] : fields) {
        DField f = field(name, fname, ++no, dom);
        if (no == 1) {
          f.key_kind = 0;
          f.key_no = 0;
          f.key_order.set("+");
          if (dups) f.key_dups.set("1");
        }
        put("INIT_DFLD_FDB", f, A);
      }
    };
    file("MESSAGE1", {{"M1 TARGET", "T13"}, {"M1 DB", "T3"}, {"M1 COUNT", "N4"}, {"M1 HIGH", "N4"}});
    file("MESSAGE2", {{"M2 TARGET", "T16"}, {"M2 SEQ", "N4"}, {"M2 MID", "T4"}, {"M2 OBJECT", "T22"},
                      {"M2 PAD", "T2"}, {"M2 NUMBER", "N4"}, {"M2 TEXT1", "T252"}, {"M2 TEXT2", "T252"}},
         true);
    file("CUST", {{"CUST ID", "N4"}, {"CUST CODE", "T4"}});
    // SECF: every record written has security code 0004.
    file("SECF", {{"SEC NO", "N4"}});
    DField sec = field("SECF", "SEC CODE", 2, "T4");
    sec.usage = 4;
    sec.initial.set("0004");
    put("INIT_DFLD_FDB", sec, A);
    file("BADF", {{"BAD NO", "N4"}});
    // The message files' keys start at BADF's records (the READs' keys:
    // alpha fields are set by initial values here).
    for (auto [fi, n, dom] : {std::tuple{"MESSAGE1", "M1 TARGET", "T13"}, {"MESSAGE2", "M2 TARGET", "T16"}}) {
      DField f = field(fi, n, 1, dom);
      f.key_kind = 0;
      f.key_no = 0;
      f.key_order.set("+");
      if (fi[7] == '2') f.key_dups.set("1");
      f.initial.set("ABC00BADF");
      put("INIT_DFLD_FDB", f, A);
    }
    // JOB: the texts the Subroutines use, as its fields' initial values.
    DRecord job = record("JOB");
    job.ftype = 2;
    put("INIT_DREC_FDB", job, A);
    DField job_no = field("JOB", "JOB NO", 1, "N4");
    job_no.key_kind = 0;
    job_no.key_no = 0;
    job_no.key_order.set("+");
    put("INIT_DFLD_FDB", job_no, A);
    uint32_t no = 1;
    for (auto [n, dom, v] : {std::tuple{"JOB CUST", "T13", "ABC00CUST"}, {"JOB BADF", "T13", "ABC00BADF"},
                             {"JOB ANN", "NAME", "ANN"}, {"JOB OBJ", "T22", "BAD SMALL"}}) {
      DField f = field("JOB", n, ++no, dom);
      f.initial.set(v);
      put("INIT_DFLD_FDB", f, A);
    }
    {
      Compiler c;
      for (const char* f : {"MESSAGE1", "MESSAGE2", "CUST", "JOB", "SECF"}) {
        ASSERT_EQ(c.run(f, 1, A), 1);
        ASSERT_TRUE(c.msgs(f, A).empty()) << f << " " << c.msgs(f, A)[0].number;
      }
    }
    // Now the designer's changes: CUST's code becomes its security code
    // and CUST gains a field; BADF gains a field whose initial is too big.
    DField code = field("CUST", "CUST CODE", 2, "T4");
    code.usage = 4;
    code.initial.set("0003");
    put("INIT_DFLD_FDB", code, A);
    DField name = field("CUST", "CUST NAME", 3, "NAME");
    name.initial.set("ANN");
    put("INIT_DFLD_FDB", name, A);
    // (the designer's change marks the compiled file for compile)
    for (DFile f : all<DFile>("INIT_DFI_FDB", 0, A))
      if (f.name.view() == "CUST    ") {
        set_unset(f.cmpl_stamp);
        put("INIT_DFI_FDB", f, A);
      }
    DField big = field("BADF", "BAD SMALL", 2, "N1");
    big.initial.set("300");
    put("INIT_DFLD_FDB", big, A);
    // User ABU may see records of security code 3 only.
    auto u = fx::user("ABU");
    rec::view<DUser>(u.data()).db.set("DB1");
    rec::view<DUser>(u.data()).profile.set("P1");
    ASSERT_TRUE(pltest::rewrite(INIT_DUSR_FDB, u));
    fx::Rec prof = fx::rec("PROFILE", {{"name", "P1"}});
    auto& d = rec::view<DProfile>(prof.data());
    d.bits.zero();
    d.bits.b[0] = 1 << 3;
    ASSERT_EQ(fx::write("PROFILE", nullptr, nullptr, {prof}), 1);
    e.stop(false);
  }

  void define(const std::string& text, std::initializer_list<const char*> names) {
    pltest::Engine e;
    e.dir = data;
    e.start(false);
    SeFileResult r;
    ASSERT_EQ(se_read_file("call.stmt", text, nullptr, &r), 0) << (r.errors.empty() ? "" : r.errors[0]);
    std::vector<std::string> errs;
    ASSERT_EQ(se_store_dict("ABC", "00", nullptr, r.stmts, &errs), int(r.stmts.size()));
    std::vector<fx::Rec> procs;
    int i = 0;
    for (const char* n : names) {
      std::string stamp = "2026-01-01T00:00:0" + std::to_string(++i);
      procs.push_back(pltest::proc_rec(n, 6, "1", 50, stamp, stamp));
    }
    ASSERT_EQ(fx::write("PROCESS", "ABC", "00", procs), int(procs.size()));
    e.stop(false);
  }

  static std::string proc(const char* name, const std::string& body) {
    return std::string("process 6 ") + name + "\nstatements 1\n" + body;
  }
  static std::string create(const char* file) { return line("", "CREATE", {{0, "ABC"}, {4, file}, {21, "Y"}, {29, "0"}}); }
  static std::string set(const char* field, const char* value) {
    return line("", "COMPUTE", {{0, "ABC"}, {4, field}, {31, "*"}, {38, value}});
  }
  static std::string pass(const char* item, const char* kind) {
    return line("", "PASS", {{0, "ABC"}, {4, item}, {31, kind}, {55, "N"}});
  }
  static std::string read(const char* file, const char* key) {
    return line("", "READ", {{0, "ABC"}, {4, file}, {19, "0"}, {29, "0"}, {42, key}});
  }
  static std::string next(const char* file) {
    return line("", "READNEXT", {{0, "ABC"}, {4, file}, {19, "0"}, {29, "0"}}) + kBad;
  }
  static std::string write(const char* file) { return line("", "WRITE", {{0, "ABC"}, {4, file}, {29, "0"}}); }
  static std::string differs(const char* field, const char* value) {
    return line("", "IF", {{0, "ABC"}, {4, field}, {31, std::string(se_rel_code(6))}, {38, value}}) +
           line("T", "GOTO", {{0, "BAD"}});
  }
  static std::string same(const char* field, const char* other) {
    return line("", "IF", {{0, "ABC"}, {4, field}, {31, std::string(se_rel_code(6))}, {34, "ABC"}, {38, other}}) +
           line("T", "GOTO", {{0, "BAD"}});
  }
  static std::string compile(const char* target) {
    return pass(target, "FIELD") + pass("MESSAGE1", "FILE") +
           pass("MESSAGE2", "FILE") + line("", "CALL", {{4, ",DD_CMPL"}, {41, "N"}, {49, "N"}, {57, "0"}}) + kBad;
  }
  static inline const std::string kBad = line("F", "GOTO", {{0, "BAD"}});
  static inline const std::string kEnd =
      line("", "LOGOUT", {{8, "N"}}) + line("", "LABEL", {{0, "BAD"}}) + line("", "END PROC");
};

TEST_F(DdCall, ASubroutineCompilesItsFilesAndReadsTheMessages) {
  // USE compiles against CUST as DD_CMPL left it, CUST NAME included; its
  // READ finds the CUST record (code 0003) and is refused the SECF record
  // (code 0004, not in the profile).
  std::string use = proc("USE", create("CUST") + kBad + set("CUST ID", "1") + write("CUST") + kBad +
                                    read("CUST", "CUST ID") + kBad + same("CUST NAME", "JOB ANN") +
                                    create("SECF") + kBad + set("SEC NO", "1") + write("SECF") + kBad +
                                    read("SECF", "SEC NO") + line("T", "GOTO", {{0, "BAD"}}) + kEnd);
  // The message records in key order: BADF's head with its one message,
  // then CUST's head without any.
  std::string main = proc(
      "MAIN", create("MESSAGE1") + kBad + create("MESSAGE2") + kBad + compile("JOB BADF") + compile("JOB CUST") +
                  read("MESSAGE1", "M1 TARGET") + kBad + same("M1 TARGET", "JOB BADF") +
                  differs("M1 COUNT", "1") + next("MESSAGE1") + same("M1 TARGET", "JOB CUST") +
                  differs("M1 COUNT", "0") + read("MESSAGE2", "M2 TARGET") + kBad + differs("M2 NUMBER", "100680") + same("M2 OBJECT", "JOB OBJ") +
                  differs("M2 SEQ", "1") +
                  line("", "SUBR", {{0, "ABC"}, {4, "USE"}, {37, "SUBPROCESS"}, {55, "Y"}, {63, "0"}}) +
                  line("", "LABEL", {{0, "BAD"}}) + line("", "END PROC"));
  ASSERT_NO_FATAL_FAILURE(define(use + main, {"USE", "MAIN"}));
  Result r = run_abc("QUVO_TEST_USER=ABU", "-d DB1 -a ABC -t Subroutine -p MAIN");
  EXPECT_EQ(r.status, 127) << r.err;
  pltest::Engine e;
  e.dir = data;
  e.start(false);
  // CUST has its new field; BADF failed, so nothing of it was written.
  std::set<std::string> cust, badf;
  for (const DElem& el : all<DElem>("INIT_DELEM_FDB", 2, "ABC")) {
    std::string n(el.name.view());
    n.erase(n.find_last_not_of(' ') + 1);
    if (el.file.view() == "CUST    ") cust.insert(n);
    if (el.file.view() == "BADF    ") badf.insert(n);
  }
  EXPECT_EQ(cust, (std::set<std::string>{"CUST ID", "CUST CODE", "CUST NAME"}));
  EXPECT_TRUE(badf.empty());
  for (const DFile& f : all<DFile>("INIT_DFI_FDB", 0, "ABC")) EXPECT_NE(f.name.view(), "BADF    ");
  e.stop(false);
}

}  // namespace

namespace {

// The compiled records of one file of ABC (ELEMENT, FILE, RECORD, INITIAL)
// and its FIELD records, as bytes.
std::vector<uint8_t> compiled(const std::string& file) {
  std::string f8 = file;
  f8.resize(8, ' ');
  std::vector<uint8_t> out;
  auto add = [&](const auto& r) {
    auto* p = reinterpret_cast<const uint8_t*>(&r);
    out.insert(out.end(), p, p + sizeof r);
  };
  for (const DElem& e : all<DElem>("INIT_DELEM_FDB", 2, "ABC"))
    if (e.file.view() == f8) add(e);
  for (const DField& x : all<DField>("INIT_DFLD_FDB", 3, "ABC"))
    if (x.file.view() == f8) add(x);
  for (const DFile& x : all<DFile>("INIT_DFI_FDB", 0, "ABC"))
    if (x.name.view() == f8) add(x);
  for (const DRecord& x : all<DRecord>("INIT_DREC_FDB", 0, "ABC"))
    if (x.name.view() == f8) add(x);
  for (const DInit& x : all<DInit>("INIT_DINIT_FDB", 0, "ABC"))
    if (x.file.view() == f8) add(x);
  return out;
}

}  // namespace

TEST_F(DdCall, BadDefinitionsGiveTheirMessagesAndLeaveTheirFilesAsTheyWere) {
  const char* A = "ABC";
  const char* FLD = "INIT_DFLD_FDB";
  const std::vector<std::string> bad = {"BADF", "K17", "KLONG", "MASK16", "SUBS"};
  std::map<std::string, std::vector<uint8_t>> before;
  {
    pltest::Engine e;
    e.dir = data;
    e.start(false);
    put("INIT_DDOM_FDB", alpha("T300", 300), A);
    put("INIT_DDOM_FDB", domain("SIXTEEN", 1, 1, "9999999999999999"), A);
    auto key0 = [](DField f) {
      f.key_kind = 0;
      f.key_no = 0;
      f.key_order.set("+");
      return f;
    };
    auto alt = [](DField f) {
      f.key_kind = 1;
      f.key_order.set("+");
      return f;
    };
    for (const char* n : {"K17", "KLONG", "MASK16", "SUBS", "TGT"}) {
      DRecord r = record(n);
      r.ftype = 2;
      put("INIT_DREC_FDB", r, A);
    }
    // The good definitions, compiled first.
    put(FLD, key0(field("K17", "K17 ID", 1, "N4")), A);
    for (uint32_t k = 1; k <= 16; ++k) put(FLD, alt(field("K17", "K17 A" + std::to_string(k), k + 1, "N4")), A);
    put(FLD, key0(field("KLONG", "KL ID", 1, "N4")), A);
    put(FLD, field("KLONG", "KL TEXT", 2, "T4"), A);
    put(FLD, key0(field("MASK16", "M16 ID", 1, "N4")), A);
    put(FLD, field("MASK16", "M16 AMT", 2, "N4"), A);
    put(FLD, key0(field("SUBS", "SUB BASE", 1, "NAME")), A);
    DField sub = field("SUBS", "SUB PART", 2, "SUB BASE", 4);
    sub.offset = 1;
    sub.length = 2;
    put(FLD, sub, A);
    DField small = field("BADF", "BAD SMALL", 2, "N1");
    small.initial.set("30");
    put(FLD, small, A);
    // TGT: the targets, as its fields' initial values.
    put(FLD, key0(field("TGT", "TGT NO", 1, "N4")), A);
    uint32_t no = 1;
    for (auto [n, v] : {std::pair{"TGT K17", "ABC00K17"}, {"TGT KLONG", "ABC00KLONG"}, {"TGT M16", "ABC00MASK16"},
                        {"TGT SUBS", "ABC00SUBS"}}) {
      DField f = field("TGT", n, ++no, "T13");
      f.initial.set(v);
      put(FLD, f, A);
    }
    Compiler c;
    for (const char* f : {"BADF", "K17", "KLONG", "MASK16", "SUBS", "TGT"}) {
      ASSERT_EQ(c.run(f, 1, A), 1);
      ASSERT_TRUE(c.msgs(f, A).empty()) << f << " " << c.msgs(f, A)[0].number;
    }
    // The designer's mistakes: a 17th alternate key, a key of 300 bytes, a
    // mask of 16 digits, a substring past its base, initial 300 in a byte.
    put(FLD, alt(field("K17", "K17 A17", 18, "N4")), A);
    put(FLD, alt(field("KLONG", "KL TEXT", 2, "T300")), A);
    put(FLD, field("MASK16", "M16 AMT", 2, "SIXTEEN"), A);
    sub.offset = 5;
    sub.length = 10;
    put(FLD, sub, A);
    small.initial.set("300");
    put(FLD, small, A);
    for (DFile f : all<DFile>("INIT_DFI_FDB", 0, A)) {
      set_unset(f.cmpl_stamp);
      put("INIT_DFI_FDB", f, A);
    }
    for (const std::string& f : bad) before[f] = compiled(f);
    e.stop(false);
  }
  // In key order: MESSAGE1 BADF (one message), CUST (none), then the
  // messages of BADF, K17, KLONG, MASK16 and SUBS, one each.
  auto number = [&](const char* n) { return differs("M2 NUMBER", n) + differs("M2 SEQ", "1"); };
  std::string text = proc(
      "BADS", create("MESSAGE1") + kBad + create("MESSAGE2") + kBad + compile("JOB BADF") + compile("TGT K17") +
                  compile("TGT KLONG") + compile("TGT M16") + compile("TGT SUBS") + compile("JOB CUST") +
                  read("MESSAGE1", "M1 TARGET") + kBad + same("M1 TARGET", "JOB BADF") + differs("M1 COUNT", "1") +
                  next("MESSAGE1") + same("M1 TARGET", "JOB CUST") + differs("M1 COUNT", "0") +
                  read("MESSAGE2", "M2 TARGET") + kBad + number("100680") + next("MESSAGE2") + number("100800") +
                  next("MESSAGE2") + number("100660") + next("MESSAGE2") + number("102150") + next("MESSAGE2") +
                  number("100580") + line("", "READNEXT", {{0, "ABC"}, {4, "MESSAGE2"}, {19, "0"}, {29, "0"}}) +
                  line("T", "GOTO", {{0, "BAD"}}) + kEnd);
  ASSERT_NO_FATAL_FAILURE(define(text, {"BADS"}));
  Result r = run_abc("QUVO_TEST_USER=ABU", "-d DB1 -a ABC -t Subroutine -p BADS");
  EXPECT_EQ(r.status, 127) << r.err;
  pltest::Engine e;
  e.dir = data;
  e.start(false);
  for (const std::string& f : bad) {
    auto now = compiled(f);
    size_t i = 0;
    while (i < now.size() && i < before[f].size() && now[i] == before[f][i]) ++i;
    EXPECT_TRUE(now == before[f]) << f << " changed at byte " << i << " of " << now.size();
  }
  // the other file of the run compiled: CUST has its new field
  std::set<std::string> cust;
  for (const DElem& el : all<DElem>("INIT_DELEM_FDB", 2, "ABC"))
    if (el.file.view() == "CUST    ") cust.insert(std::string(el.name.view().substr(0, 9)));
  EXPECT_TRUE(cust.count("CUST NAME"));
  e.stop(false);
}
