// The frame processor on real compiled processes of the test application
// fp-app, in the whole engine on a memory terminal (fp_engine.h): frame
// results of repeat modes, the run without display of OPERATIONAL PHASE 2
// and its final write, a final write that keeps failing, and the option
// rule over the state of the process.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <tuple>

#include "executors/fp_engine.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "foundation/la.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"
#include "process/pipcf.h"
#include "process/pishr.h"
#include "language/ii.h"
#include "screen/tm.h"
#include "screen/wm.h"
#include "screen/wmrec.h"

namespace {

using fpeng::note;

class Fp : public ::testing::Test {
 protected:
  void SetUp() override {
    static const std::string built = fpeng::build_app();
    ASSERT_EQ(built, "");
  }
};

PdArea3* steer(Pcb* p) { return pi_area_rec<PdArea3>(p, 3); }
PdArea11* ph(Pcb* p) { return pi_area_rec<PdArea11>(p, 11); }
PdStatus* stat(Pcb* p) { return pi_area_rec<PdStatus>(p, kPcbStatusArea); }
uint8_t* pcf_rec(Pcb* p) { return p->pcf_stream ? p->pcf_stream->rec.get() : nullptr; }

int msgs(FmArb* f) {
  if (!f) return -1;
  int n = 0;
  FmArb* s = FM_ATTACH(f, nullptr, com.depth.get());
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(mm_create_pool(" FPTEST", com.depth, 0), f->file->fdb.rec_len));
  s->rec.set(buf);
  s->rec_len = f->file->fdb.rec_len;
  s->op = FM_OP_FIRST;
  fm_start(s);
  s->op = 0;
  while (fm_rdnxt(s)) ++n;
  fm_detach(s);
  mm_free(buf);
  return n;
}

// ------------------------------------------------------------ cases --
// A frame of repeat mode 2 or 3 with ALTERNATE IMAGE NUMBER 0 skips its
// image: the frame is done (22), so is the process's completion code, and
// nothing shows.
void repeat_exec(Pcb* p) {
  steer(p)->alt_image = 0;
  ph(p)->phase = 1;
  note("result", fp_exec(p, 1));
  note("completion", p->invoc.completion);
  note("opened", fpeng::term().opened);
  ut_unwind(2);
}

TEST_F(Fp, RepeatModesWithoutAnAlternateImageSkipIt) {
  for (const char* proc : {"FP REPEAT", "FP REPEAT3"}) {
    SCOPED_TRACE(proc);
    auto r = fpeng::run(fpeng::input(proc), repeat_exec);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.seen["result"], kFpDone);
    EXPECT_EQ(r.seen["completion"], kFpDone);
    EXPECT_EQ(r.seen["opened"], 0);
  }
}

// ALTERNATE IMAGE NUMBER picks the frame's image of that number, the last
// of its images too; a number no image has (and 0 or 1) the first.
void alt_image_exec(Pcb* p) {
  p->run.frame = 1;
  for (int alt : {2, 1, 3, 0}) {
    steer(p)->alt_image = uint8_t(alt);
    note("image" + std::to_string(alt), fp_get_cimg(p));
  }
  ut_unwind(2);
}

TEST_F(Fp, TheAlternateImageNumberPicksTheImage) {
  auto r = fpeng::run(fpeng::input("FP REPEAT3"), alt_image_exec);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["image2"], 2);
  EXPECT_EQ(r.seen["image1"], 1);
  EXPECT_EQ(r.seen["image3"], 1);
  EXPECT_EQ(r.seen["image0"], 1);
}

// A back-out (the automatic children walking back past the first, NEXT
// CHILD ID "-   ") runs the frame again one level below the level it saved;
// a frame that skips its image passes the 5 on.
void backout_exec(Pcb* p) {
  FpHooks h;
  h.sof = [](Pcb* q) { std::ofstream(fpeng::log_path(), std::ios::app) << "sof " << int(ph(q)->entry_level) << "\n"; };
  fp_set_hooks(2, h);
  steer(p)->alt_image = 0;
  ph(p)->phase = 1;
  p->frame_tbl.get()[1].level = 3;
  stat(p)->next_child.set("-   ");
  note("result", fp_exec(p, 1));
  note("saved", p->frame_tbl.get()[1].level);
  fp_set_hooks(2, FpHooks{});
  ut_unwind(2);
}

TEST_F(Fp, ABackOutRunsTheFrameAgainAtItsSavedLevel) {
  auto r = fpeng::run(fpeng::input("FP REPEAT"), backout_exec);
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> starts;
  for (const auto& l : r.lines)
    if (l.rfind("sof ", 0) == 0) starts.push_back(l);
  EXPECT_EQ(starts, (std::vector<std::string>{"sof 3", "sof 2"}));
  EXPECT_EQ(r.seen["result"], kFpBack);
  EXPECT_EQ(r.seen["saved"], 2);
}

// OPERATIONAL PHASE 2 on a frame that runs without display: phase 1 writes
// the record and goes on in phase 7; a changed record is rewritten, an
// unchanged one (equal to the copy saved when it was read) is left alone.
// Nothing is drawn.
char g_key[5] = "Q000";
void quiet_exec(Pcb* p) {
  steer(p)->op_phase = 2;
  ph(p)->phase = 1;
  uint8_t* rec = pcf_rec(p);
  const size_t len = 14;
  note("has_record", rec && p->pcf_buf1 && p->pcf_buf2);
  if (!rec) ut_unwind(2);
  std::memcpy(rec, g_key, 4);
  std::memcpy(rec + 4, "first     ", 10);
  note("write", fp_exec(p, 1));
  note("phase", ph(p)->phase);
  // Read back with hold, as a change begins; the text changed.
  const uint16_t read = FM_OP_KEY | FM_OP_EQUAL | FM_OP_HOLD | FM_OP_WAIT;
  note("read", pi_read(p, read));
  std::memcpy(rec + 4, "second    ", 10);
  std::memset(p->pcf_buf2.get(), 0, len);
  note("rewrite", fp_exec(p, 1));
  note("rewritten", std::memcmp(p->pcf_buf2.get(), rec, len) == 0);
  note("read_again", pi_read(p, read));
  std::memset(p->pcf_buf2.get(), 0, len);
  note("unchanged", fp_exec(p, 1));
  static const uint8_t zero[14] = {};
  note("untouched", std::memcmp(p->pcf_buf2.get(), zero, len) == 0);
  note("opened", fpeng::term().opened);
  ut_unwind(2);
}

TEST_F(Fp, PhaseTwoWritesWithoutDrawingAndLeavesAnUnchangedRecordAlone) {
  std::memcpy(g_key, "Q001", 4);
  auto r = fpeng::run(fpeng::input("FP QUIET"), quiet_exec);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["has_record"], 1);
  EXPECT_EQ(r.seen["write"], kFpDone);
  EXPECT_EQ(r.seen["phase"], 7);
  EXPECT_EQ(r.seen["read"], 1);
  EXPECT_EQ(r.seen["read_again"], 1);
  EXPECT_EQ(r.seen["rewrite"], kFpDone);
  EXPECT_EQ(r.seen["rewritten"], 1);
  EXPECT_EQ(r.seen["unchanged"], kFpDone);
  EXPECT_EQ(r.seen["untouched"], 1);
  EXPECT_EQ(r.seen["opened"], 0);
}

// A frame that is not interactive and whose final write fails (the key is
// on file already) backs out with the file status's message once; it does
// not write again and again. So does an interactive frame whose pass shows
// no image (here FP INPUT's, its image taken away as a damaged module may
// hold it): no one can mend its record either.
bool g_unseen = false;
void batch_exec(Pcb* p) {
  uint8_t* rec = pcf_rec(p);
  if (!rec) ut_unwind(2);
  if (EmCfrm* fr = fp_frame(p, 1); fr && g_unseen) fr->first_img = 0;
  std::memcpy(rec, g_key, 4);
  std::memcpy(rec + 4, "batch     ", 10);
  ph(p)->phase = 1;
  note("first", fp_exec(p, 1));
  ph(p)->phase = 1;
  int before = msgs(p->msg_file.get());
  note("again", fp_exec(p, 1));
  note("messages", msgs(p->msg_file.get()) - before);
  ut_unwind(2);
}

TEST_F(Fp, AFailingNonInteractiveWriteBacksOutOnce) {
  for (const char* proc : {"FP BATCH", "FP INPUT"}) {
    SCOPED_TRACE(proc);
    g_unseen = proc[3] == 'I';
    std::memcpy(g_key, g_unseen ? "B002" : "B001", 4);
    auto r = fpeng::run(fpeng::input(proc), batch_exec, "", 20);
    ASSERT_EQ(r.status, 0) << "the run did not end";
    EXPECT_EQ(r.seen["first"], kFpDone);
    EXPECT_EQ(r.seen["again"], kFpBack);
    EXPECT_EQ(r.seen["messages"], 1);
  }
}

// A menu at a terminal: the codes 277 and 279 (which Option Intercept makes
// of the typed 7 and 9) pass the option rule and show the menu again, as
// ENTER does; END leaves it. None is a system error.
TEST_F(Fp, AMenuShowsAgainAfter277And279AndEnterAndEndsWithEnd) {
  auto r = fpeng::run(fpeng::menu("FP MENU"), nullptr, std::string("7\r9\r\r") + "\x1bOR");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["sys_errors"], 0);
  EXPECT_GE(r.seen["waits"], 6);
}

// A form without a file of its own runs its frame on the input executor:
// a skipped image ends the process normally.
TEST_F(Fp, AFormWithoutAFileOfItsOwnRunsItsFrame) {
  auto r = fpeng::run(fpeng::input("FP REPEAT"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["sys_errors"], 0);
}

// A design error shows through the run-time error display with the
// process it belongs to, and ends the process with 4.
void rt_err_seen(void*, const void* rec) {
  const auto& e = rec::view<ErrDisplay>(const_cast<void*>(rec));
  std::ofstream(fpeng::log_path(), std::ios::app) << "text " << e.msg_text.trimmed() << "\n";
}
void design_exec(Pcb* p) {
  proc_svc.rt_err = rt_err_seen;
  int code = ::mark(5, [&] { dsgn_err(p, 100830); });
  note("code", code);
  note("completion", p->invoc.completion);
  ut_unwind(2);
}

TEST_F(Fp, ADesignErrorNamesItsProcessAndEndsItWith4) {
  auto r = fpeng::run(fpeng::input("FP REPEAT"), design_exec);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["code"], 4);
  EXPECT_EQ(r.seen["completion"], 4);
  bool shown = false;
  for (const auto& l : r.lines) shown = shown || l == "text FPA 00 Input \"FP REPEAT\": ERROR - Child does not exist";
  EXPECT_TRUE(shown) << ::testing::PrintToString(r.lines);
}

// FP_UPD_CHR, as 4GL code calls it: the five words (attributes, row,
// column, rows, columns) change the cells of the current image's region;
// without a region it answers 0.
void upd_chr_exec(Pcb* p) {
  IiIntFn fn = ii_find_ifn("FP_UPD_CHR");
  note("registered", fn != nullptr);
  if (!fn) ut_unwind(2);
  MmPool pool = mm_create_pool(" FPTEST", com.depth, 0);
  auto* words = static_cast<uint32_t*>(MM_ALLOC(pool, 5 * 4));
  const uint32_t w[5] = {wa::kBright, 1, 3, 1, 4};
  std::memcpy(words, w, sizeof w);
  const uint32_t args[3] = {2, arena::offset_of(p), arena::offset_of(words)};
  note("no_region", fn(args));
  uint32_t srf = 0;
  wm_create_srf(&srf, com.depth);
  WmWnd win;
  INIT_WND(&win, 1, 5, 10, 2, 20, 0);
  wm_attach(&win, srf, com.depth);
  wm_write_reg(win.region, std::string(40, 'x'));
  wm_actv(win.region);
  p->run.frame = 1;
  p->run.image = 1;
  p->image_tbl.get()[1].region = win.region.get();
  note("with_region", fn(args));
  WmShow sb{};
  sb.flags = wmshow::kDraw;
  wm_show(&sb, 0);
  // Window row 1, columns 3-6: screen row 5, columns 12-15.
  note("bold_in", (wm_screen_cell(5, 12).vis & tmv::kBold) && (wm_screen_cell(5, 15).vis & tmv::kBold));
  note("bold_out", (wm_screen_cell(5, 11).vis & tmv::kBold) || (wm_screen_cell(5, 16).vis & tmv::kBold));
  p->image_tbl.get()[1].region = 0;
  ut_unwind(2);
}

TEST_F(Fp, FpUpdChrChangesTheCurrentRegionsCells) {
  auto r = fpeng::run(fpeng::input("FP REPEAT"), upd_chr_exec);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.seen["registered"], 1);
  EXPECT_EQ(r.seen["no_region"], 0);
  EXPECT_EQ(r.seen["with_region"], 1);
  EXPECT_EQ(r.seen["bold_in"], 1);
  EXPECT_EQ(r.seen["bold_out"], 0);
}

// ---------------------------------------------------------- verify_opt --
// The option rule, written from its definition, over every combination of
// process type, phase, PCF and its access, permissions, frame class,
// scrolling, entry level and option.
struct OptState {
  int type, phase, pcf, access, perms, cls, scroll, level, child_level, option;
};

bool taken(const OptState& s) {
  const int o = s.option;
  if (o == 65535) return false;
  for (int a : {257, 260, 272, 273, 274, 276, 277, 278, 279, 280, 304})
    if (o == a) return true;
  if (o > 255) {
    if (s.type == 1) return false;
    const bool entry = s.pcf && s.access != 1;  // the frame is interactive
    if (o == 259) return s.pcf;
    if (o == 261) return s.pcf && entry && (s.cls == 14 || (s.phase != 1 && s.phase != 6));
    if (o >= 265 && o <= 268) {
      bool ok = s.pcf && entry;
      if (o == 265) ok = ok && (s.perms & 1);
      if (o == 266) ok = ok && (s.perms & 2) && s.access != 1;
      if (o == 268) ok = ok && (s.perms & 4);
      return ok;
    }
    if (o == 271) return true;
    if (o == 305) return s.phase == 2;
    if (o >= 320 && o <= 325) return s.scroll && s.phase != 1;
    return false;
  }
  if (o != 5) return false;  // option 5 is the image's one child
  return s.child_level <= s.level || (s.level == 0 && s.phase != 6);
}

// Every refused key but the empty option says 300590.
bool rule(const OptState& s, bool* msg) {
  bool ok = taken(s);
  *msg = !ok && s.option != 65535;
  return ok;
}

// Every option over the state; each dimension varied where the rule reads
// it (permissions for the mode keys, scrolling for 320-325, levels for the
// numbered options).
std::vector<OptState> opt_states() {
  std::vector<OptState> v;
  const int options[] = {65535, 257, 259, 260, 261, 265, 266, 267, 268, 271, 272, 273, 274, 276,
                         277,   278, 279, 280, 281, 300, 304, 305, 306, 319, 320, 325, 326, 5, 6};
  const std::pair<int, int> files[] = {{0, 3}, {1, 1}, {1, 3}};
  for (int type : {1, 2})
    for (int phase : {1, 2, 3, 6, 7})
      for (auto [pcf, access] : files)
        for (int cls : {0, 14})
          for (int o : options) {
            const bool mode_key = o >= 265 && o <= 268, scrolling = o >= 320 && o <= 325, numbered = o <= 255;
            for (int perms : mode_key ? std::vector<int>{0, 7, 1, 2, 4} : std::vector<int>{7})
              for (int scroll : scrolling ? std::vector<int>{0, 1} : std::vector<int>{0})
                for (int level : numbered ? std::vector<int>{0, 1, 2} : std::vector<int>{0})
                  for (int child_level : numbered ? std::vector<int>{0, 2} : std::vector<int>{0})
                    v.push_back({type, phase, pcf, access, perms, cls, scroll, level, child_level, o});
          }
  return v;
}

std::string key(const OptState& s) {
  char b[96];
  std::snprintf(b, sizeof b, "t%d.p%d.f%d.a%d.m%d.c%d.s%d.l%d.k%d.o%d", s.type, s.phase, s.pcf, s.access, s.perms,
                s.cls, s.scroll, s.level, s.child_level, s.option);
  return b;
}

void verify_exec(Pcb* p) {
  EmHeader* em = p->module.get();
  EmCfrm* fr = fp_frame(p, 1);
  auto* fc = static_cast<PiFileCtl*>(p->pcf_entry.get());
  EmCfi* cfi = fc ? fc->cfi.get() : nullptr;
  EmCchld* child = p->child_tbl && em->n_children ? p->child_tbl.get()[1].cchld.get() : nullptr;
  note("ready", fr && cfi && child && child->disc == 5);
  if (!fr || !cfi || !child) ut_unwind(2);
  p->run.frame = 1;
  p->run.image = fr->first_img;
  const std::string pcf_name(em->pcf_name.data(), 8);
  for (const OptState& s : opt_states()) {
    p->invoc.type = uint8_t(s.type);
    ph(p)->phase = uint8_t(s.phase);
    ph(p)->entry_level = uint8_t(s.level);
    em->pcf_name.set(s.pcf ? std::string_view(pcf_name) : std::string_view(""));
    cfi->fdb.access = uint8_t(s.access);
    for (int i = 0; i < 3; ++i) em->flags106[i] = uint8_t((s.perms >> i) & 1);
    fr->code = uint8_t(s.cls);
    fr->scroll = uint8_t(s.scroll);
    child->display = uint8_t(s.child_level);
    stat(p)->option = uint16_t(s.option);
    int before = msgs(p->msg_file.get());
    int ok = verify_opt(p, int(fr->first_img));
    int added = msgs(p->msg_file.get()) - before;
    std::ofstream(fpeng::log_path(), std::ios::app) << key(s) << " " << ok * 10 + added << "\n";
  }
  p->invoc.type = 2;
  ut_unwind(2);
}

TEST_F(Fp, TheOptionRuleOverTheProcessState) {
  auto r = fpeng::run(fpeng::input("FP INPUT"), verify_exec, "", 120);
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.seen["ready"], 1);
  auto states = opt_states();
  size_t checked = 0;
  int wrong = 0;
  for (const OptState& s : states) {
    bool msg = false;
    bool want = rule(s, &msg);
    auto it = r.seen.find(key(s));
    ASSERT_NE(it, r.seen.end()) << key(s);
    long long got = it->second;
    ++checked;
    if (got != (want ? 10 : 0) + (msg ? 1 : 0) && ++wrong <= 10)
      ADD_FAILURE() << key(s) << ": verify_opt " << got / 10 << " with " << got % 10 << " message(s), the rule "
                    << want << (msg ? " with 300590" : "");
  }
  EXPECT_EQ(checked, states.size());
}

}  // namespace
