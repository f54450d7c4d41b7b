// The screen records of a saved module as untrusted input: FP DAMAGE of
// fp-app (two chained frames, characteristics, a look-up, a numbered
// option), the test menu FP MENU (options running a form), the report OP
// DAMAGE of op-app (a detail frame whose quantity is totalled, a page
// heading, report start and end frames) and the inquiry OP INQ are saved,
// then one of a module's frame, image, item, characteristic, child,
// look-up, token, summary or key-segment records or one of the header's
// counts is damaged (values at and one past the limits, and random ones;
// records added or taken away), the file sealed again as a member of the
// group could, and the process run on the memory terminal with keys typed.
// Each damaged module is refused and compiled again (the file then holds
// the compiled module again), or loaded and run sound: no crash, no memory
// fault, no hang (the run's alarm).
//
// QUVO_FUZZ_SCR_N sets the loop's case count (default 16), QUVO_FUZZ_SCR_SEED
// its seed; QUVO_FUZZ_SCR_TRACE set prints each case's damage and outcome.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "executors/fp_engine.h"
#include "executors/op_fixture.h"
#include "files/dictrec.h"
#include "files/unixio.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pc.h"

namespace {

long fuzz_cases() {
  const char* v = std::getenv("QUVO_FUZZ_SCR_N");
  return v ? std::atol(v) : 16;
}
uint64_t fuzz_seed() {
  const char* v = std::getenv("QUVO_FUZZ_SCR_SEED");
  return v ? std::strtoull(v, nullptr, 10) : 20261208u;
}

using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
void write_file(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(b.data()),
                                                                std::streamsize(b.size()));
}

// A saved module file as its records: the sequential file's 32-byte head,
// then each record as its length (u32) and bytes; the header first, each
// saved sub-file as a head ("FMSV", count) and its records, then the area
// table, the image rows and the check record.
struct ModFile {
  Bytes head;
  std::vector<Bytes> recs;

  bool parse(const Bytes& b) {
    if (b.size() < 32) return false;
    head.assign(b.begin(), b.begin() + 32);
    recs.clear();
    for (size_t at = 32; at < b.size();) {
      if (at + 4 > b.size()) return false;
      uint32_t n = rec::view<rec::U32>(b.data() + at);
      if (at + 4 + n > b.size()) return false;
      recs.emplace_back(b.begin() + long(at + 4), b.begin() + long(at + 4 + n));
      at += 4 + n;
    }
    return recs.size() > 2 && recs[0].size() == sizeof(EmHeader);
  }
  // The file, its check record sealed over the records before it.
  Bytes bytes() {
    Bytes& t = recs.back();
    uint32_t crc = 0;
    for (size_t i = 0; i + 1 < recs.size(); ++i) crc = uio_crc32c_rec(crc, recs[i].data(), recs[i].size());
    rec::view<rec::U32>(t.data() + 4) = uint32_t(recs.size() - 1);
    rec::view<rec::U32>(t.data() + 8) = crc;
    Bytes out = head;
    for (const Bytes& r : recs) {
      uint8_t len[4];
      rec::view<rec::U32>(len) = uint32_t(r.size());
      out.insert(out.end(), len, len + 4);
      out.insert(out.end(), r.begin(), r.end());
    }
    return out;
  }
  EmHeader& header() { return rec::view<EmHeader>(recs[0].data()); }
  // The index of sub-file label's head record.
  size_t sub(const char* label) const {
    size_t at = 1;
    for (const EmSub& s : em_subs) {
      if (!s.saved) continue;
      if (!std::strcmp(s.label, label)) return at;
      at += 1 + rec::view<rec::U32>(const_cast<uint8_t*>(recs[at].data()) + 4);
    }
    return 0;
  }
  uint32_t count(size_t head_at) const { return rec::view<rec::U32>(const_cast<uint8_t*>(recs[head_at].data()) + 4); }
  void set_count(size_t head_at, uint32_t n) { rec::view<rec::U32>(recs[head_at].data() + 4) = n; }
};

// The damaged records: each field list over its record.
struct Target {
  const char* label;
  const DictField* fields;
  size_t n;
};
template <size_t N>
Target target(const char* label, const DictField (&f)[N]) {
  return {label, f, N};
}
const DictField kFldCtok[] = {QV_FLD(EmCtok, app, 1), QV_FLD(EmCtok, zero, 5), QV_FLD(EmCtok, name, 1),
                              QV_FLD(EmCtok, token_handle, 5)};
const DictField kFldSum[] = {QV_FLD(PcSum, number, 5), QV_FLD(PcSum, ira, 5),  QV_FLD(PcSum, index, 5),
                             QV_FLD(PcSum, total, 5),  QV_FLD(PcSum, app, 1),  QV_FLD(PcSum, b14, 0),
                             QV_FLD(PcSum, area, 5),   QV_FLD(PcSum, offset, 5)};
const DictField kFldPk[] = {QV_FLD(EmPk, key_no, 5), QV_FLD(EmPk, field, 5), QV_FLD(EmPk, length, 5),
                            QV_FLD(EmPk, offset, 5)};

// The processes damaged: FP DAMAGE with a key, a text and a part number
// (which the look-up finds) typed, ENTER on each frame, then END; the test
// menu FP MENU, its form option 2 chosen, a code and a name typed, END back
// and END; the report OP DAMAGE over the items; the inquiry OP INQ, items
// 2 and 3 keyed and printed, then END.
struct Proc {
  const char* name;
  std::vector<std::string> args;
  std::string keys;
  std::string* var;  // its data directory
  std::string path;  // its saved module
  Bytes sound;
  fpeng::Result run() const {
    fpeng::var_dir() = *var;
    return fpeng::run(args, nullptr, keys, 60);
  }
};

class FpDamage : public ::testing::Test {
 protected:
  std::unique_ptr<TempDir> own, own_op;
  std::string fp_var, op_var;
  TempDir prt;  // the reports' print files
  Proc procs[4] = {
      {"FP DAMAGE", fpeng::input("FP DAMAGE"), std::string("D001\r") + "note\t12\r" + fpeng::kEnd, &fp_var, {}, {}},
      {"FP MENU", fpeng::menu("FP MENU"), std::string("2\r") + "12\tABC\r" + fpeng::kEnd + fpeng::kEnd, &fp_var, {},
       {}},
      {"OP DAMAGE", fpeng::report("Output", "OP DAMAGE"), std::string(fpeng::kEnd) + fpeng::kEnd, &op_var, {}, {}},
      {"OP INQ", fpeng::report("Inquiry", "OP INQ"), std::string("\x15") + "2\r\x15" + "3\r" + fpeng::kEnd, &op_var,
       {}, {}}};
  std::string& path = procs[0].path;  // FP DAMAGE's
  Bytes& sound = procs[0].sound;
  void SetUp() override {
    ASSERT_EQ(fpeng::build_app("op-app", "OPA", "OPD", "OP SETUP"), "");
    own_op = fpeng::own_var_dir();
    ASSERT_TRUE(own_op);
    op_var = fpeng::var_dir();
    ASSERT_EQ(fpeng::build_app(), "");  // (built once; the application's own directory again)
    own = fpeng::own_var_dir();
    ASSERT_TRUE(own);
    fp_var = fpeng::var_dir();
    setenv("QUVO_PRT_FI_DIR", (prt.str() + "/").c_str(), 1);
    fpeng::with_reports = true;
    // The first runs compile and save the modules.
    for (Proc& p : procs) {
      auto r = p.run();
      ASSERT_EQ(r.status, 0) << p.name;
      ASSERT_EQ(r.seen["sys_errors"], 0) << p.name;
    }
    for (const std::string* var : {&fp_var, &op_var})
      for (const auto& e : std::filesystem::recursive_directory_iterator(*var + "/mod")) {
        if (!e.is_regular_file()) continue;
        ModFile m;
        if (!m.parse(read_file(e.path().string()))) continue;
        for (Proc& p : procs)
          if (p.var == var && m.header().proc_name == p.name) p.path = e.path().string();
      }
    for (Proc& p : procs) {
      ASSERT_NE(p.path, "") << p.name << " was not saved";
      p.sound = read_file(p.path);
    }
    fpeng::var_dir() = fp_var;
  }
  void TearDown() override {
    fpeng::with_reports = false;
    unsetenv("QUVO_PRT_FI_DIR");
  }
};

// Passes in which no one can press a key end. Frame 2, chained after
// frame 1, shows no image (its image taken away; its mode past 1 with
// ALTERNATE IMAGE NUMBER 0 skips it alike), and its final write fails: D001
// is on file from the first run. It backs out with the file's message, and
// so does frame 1, which shows again and waits, instead of the two passing
// the record between them for ever. Frame 1 not interactive ends the pass
// before frame 2 waits: the process ends after it, as one without an
// interactive frame does, instead of passing again and again.
TEST_F(FpDamage, PassesThatWaitForNoKeyEnd) {
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k ? "frame 1 not interactive" : "frame 2 without its image");
    ModFile m;
    ASSERT_TRUE(m.parse(sound));
    const size_t at = m.sub("CFRM");
    ASSERT_EQ(m.count(at), 2u);
    if (k) rec::view<EmCfrm>(m.recs[at + 1].data()).interactive = uint8_t(0);
    else rec::view<EmCfrm>(m.recs[at + 2].data()).first_img = uint16_t(0);
    const Bytes damaged = m.bytes();
    write_file(path, damaged);
    auto r = fpeng::run(fpeng::input("FP DAMAGE"), nullptr, std::string("D001\r") + fpeng::kEnd, 20);
    EXPECT_EQ(r.status, 0) << "the run did not end";
    EXPECT_EQ(r.seen["sys_errors"], 0);
    EXPECT_EQ(read_file(path), damaged);  // loaded and run, not compiled again
  }
}

// Modules the compiler makes as defined, which a person can do nothing
// with, end their run, compiled and then loaded from their saved files: an
// Input process or a menu without frames at once and normally (as a report
// without frames); an inquiry whose key frame is not interactive after the
// last record, printing none (nobody keys one); a menu whose frame is not
// interactive and an Input process whose frame lies below the largest
// screen with the system error of each (the menu frame did not back out;
// the window does not fit). Nothing waits, nothing faults.
TEST_F(FpDamage, FramesNoOneCanUseEndTheRun) {
  fpeng::var_dir() = op_var;
  struct Case {
    const char* type;
    const char* name;
    const char* error;  // the run's one system error, or none
  } cases[] = {{"Input", "OP EMPTY INPUT", nullptr},
               {"Menu", "OP EMPTY MENU", nullptr},
               {"Inquiry", "OP FLAT INQ", nullptr},
               {"Menu", "OP FLAT MENU", "mp_exec() - unexpected completion of frame"},
               {"Input", "OP LOW INPUT", "ip_attach() - wm_attach failed"}};
  for (const Case& c : cases)
    for (int run = 0; run < 2; ++run) {  // compiled, then loaded
      SCOPED_TRACE(std::string(c.name) + (run ? " loaded" : " compiled"));
      const size_t printed = opfx::files(prt.path);
      auto r = fpeng::run(fpeng::report(c.type, c.name), nullptr, std::string(fpeng::kEnd) + fpeng::kEnd, 20);
      EXPECT_EQ(opfx::files(prt.path), printed);
      EXPECT_LT(r.status, 128);
      EXPECT_EQ(r.seen["fault"], 0);
      EXPECT_EQ(r.seen["waits"], 0);
      std::vector<std::string> errors;
      for (const std::string& l : r.lines)
        if (!l.rfind("sys_error ", 0)) errors.push_back(l.substr(l.find(' ', l.find(' ', 10) + 1) + 1));
      if (!c.error) {
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(errors.empty()) << errors[0];
      } else {
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0], c.error);
      }
    }
}

TEST_F(FpDamage, DamagedScreenRecordsAreRefusedOrRunSound) {
  const long n = fuzz_cases();
  const uint64_t seed = fuzz_seed();
  std::mt19937_64 rng(seed);
  auto pick = [&](uint64_t k) { return k ? rng() % k : 0; };
  ModFile bases[std::size(procs)];
  for (size_t p = 0; p < std::size(procs); ++p) ASSERT_TRUE(bases[p].parse(procs[p].sound));
  EmHeader h0 = bases[0].header();
  const Target targets[] = {target("CFRM", kFldCfrm), target("CIMG", kFldCimg), target("CCHR", kFldCchr),
                            target("CCHLD", kFldCchld), target("CITM", kFldCitm), target("CDLU", kFldCdlu),
                            target("CTOK", kFldCtok), target("SUM", kFldSum), target("PK", kFldPk)};
  // A value at or one past a limit of the module, or anything.
  auto value = [&](uint32_t was) -> uint32_t {
    const uint32_t limits[] = {h0.n_frames, h0.n_images, h0.n_items, h0.n_children, h0.n_areas, 22, 24, 80, 255,
                               256, 0x7FFF, 0xFFFF, 0x7FFFFFFF};
    switch (pick(4)) {
      case 0: return uint32_t(limits[pick(std::size(limits))] + pick(2));
      case 1: return was + 1 - uint32_t(pick(3));
      case 2: return uint32_t(pick(3)) - 1;  // 0, 1, all ones
      default: return uint32_t(rng());
    }
  };
  // Sets one field (an occurrence of it) of record r; fields of the window
  // item and the invocation inside a record are lists of their own.
  std::string what;
  std::function<void(uint8_t*, const DictField*, size_t)> damage_field = [&](uint8_t* r, const DictField* f,
                                                                             size_t nf) {
    // The window item and the invocation inside a record as often as the
    // record's own fields.
    const DictField* in = nullptr;
    for (size_t j = 0; j < nf; ++j)
      if (!std::strcmp(f[j].name, "wm") || !std::strcmp(f[j].name, "invoc")) in = &f[j];
    const DictField& d = in && pick(2) ? *in : f[pick(nf)];
    uint8_t* at = r + d.offset;
    if (!std::strcmp(d.name, "wm")) return damage_field(at, kFldWmItem, std::size(kFldWmItem));
    if (!std::strcmp(d.name, "invoc")) return damage_field(at, kFldInvoc, std::size(kFldInvoc));
    const size_t occ = pick(d.occurs);
    at += size_t(d.width) * occ;
    what += std::string(" ") + d.name + "[" + std::to_string(occ) + "]";
    if (d.type == kFtBinary && (d.width == 1 || d.width == 2 || d.width == 4)) {
      uint32_t was = d.width == 1 ? at[0] : d.width == 2 ? uint32_t(rec::view<rec::U16>(at)) : uint32_t(rec::view<rec::U32>(at));
      uint32_t v = value(was);
      if (d.width == 1) at[0] = uint8_t(v);
      else if (d.width == 2) rec::view<rec::U16>(at) = uint16_t(v);
      else rec::view<rec::U32>(at) = v;
      what += "=" + std::to_string(v) + " (was " + std::to_string(was) + ")";
    } else {
      for (int k = 1 + int(pick(3)); k > 0; --k) at[pick(d.width)] = uint8_t(rng());
    }
  };
  long loaded = 0, refused = 0;
  for (long i = 0; i < n; ++i) {
    const uint64_t p = pick(5);
    const Proc& proc = procs[p ? p - 1 : 0];  // FP DAMAGE twice as often
    ModFile m = bases[&proc - procs];
    h0 = m.header();
    what = std::string(proc.name) + " ";
    const int kind = int(pick(8));
    if (kind == 0) {  // a count of the header
      EmHeader& h = m.header();
      switch (pick(6)) {
        case 0: h.n_frames = uint16_t(value(h.n_frames)); what += "n_frames"; break;
        case 1: h.n_images = uint16_t(value(h.n_images)); what += "n_images"; break;
        case 2: h.n_items = uint16_t(value(h.n_items)); what += "n_items"; break;
        case 3: h.n_children = uint16_t(value(h.n_children)); what += "n_children"; break;
        case 4: h.n_invocs = value(h.n_invocs); what += "n_invocs"; break;
        default: {  // the summaries
          auto& sums = rec::view<rec::U32>(h.b1280.data());
          const uint32_t was = sums;
          sums = value(was);
          what += "summaries=" + std::to_string(uint32_t(sums)) + " (was " + std::to_string(was) + ")";
        }
      }
    } else {
      const Target& t = targets[pick(std::size(targets))];
      const size_t at = m.sub(t.label);
      ASSERT_NE(at, 0u);
      const uint32_t count = m.count(at);
      const uint32_t k = uint32_t(pick(count));  // the record (0 when there is none)
      what += std::string(t.label) + " " + std::to_string(k + 1) + " of " + std::to_string(count);
      if (kind == 1 && count) {  // a record taken away
        m.recs.erase(m.recs.begin() + long(at + 1 + k));
        m.set_count(at, count - 1);
        what += " taken away";
      } else if (kind == 2 || !count) {  // a record added: a damaged copy of one, or of zeros
        const DictField& last = t.fields[t.n - 1];
        Bytes r = count ? m.recs[at + 1 + k] : Bytes(last.offset + size_t(last.width) * last.occurs);
        what += " copied:";
        damage_field(r.data(), t.fields, t.n);
        m.recs.insert(m.recs.begin() + long(at + 1 + count), r);
        m.set_count(at, count + 1);
      } else {
        what += ":";
        damage_field(m.recs[at + 1 + k].data(), t.fields, t.n);
      }
    }
    const Bytes damaged = m.bytes();
    if (damaged == proc.sound) continue;
    write_file(proc.path, damaged);
    auto r = proc.run();
    const std::string at = "case " + std::to_string(i) + " (" + what + ") seed " + std::to_string(seed);
    EXPECT_LT(r.status, 128) << at << ": the run crashed or did not end";
    EXPECT_EQ(r.seen["fault"], 0) << at << ": a memory fault";
    const Bytes after = read_file(proc.path);
    if (std::getenv("QUVO_FUZZ_SCR_TRACE")) {
      std::printf("TRACE %s: status %d sys_errors %lld %s\n", at.c_str(), r.status, r.seen["sys_errors"],
                  after == damaged ? "loaded" : after == proc.sound ? "refused" : "other");
      for (const std::string& l : r.lines)
        if (!l.rfind("sys_error ", 0)) std::printf("  %s\n", l.c_str());
    }
    if (after == damaged) ++loaded;
    else if (after == proc.sound) ++refused;
    else ADD_FAILURE() << at << ": the module file is neither the damaged one nor the compiled one";
    if (HasFailure()) break;
  }
  std::printf("screen-record damage: %ld cases, %ld refused and compiled again, %ld loaded and run sound\n", n,
              refused, loaded);
}

}  // namespace
