// The built-in children and their work records, byte by byte: HELP of a
// masked numeric item with a look-up, HELPOPT of an image's options, the
// ENTRY record of SELECT ACCESS PATH (3 paths, and 17 with "Query"), SET
// ENTRY ATTRIBUTES; the processes run by name put the current database
// back however they end.
#include <gtest/gtest.h>

#include "executors/chld_fixture.h"
#include "executors/fp.h"
#include "executors/rt.h"
#include "files/dictrec.h"
#include "files/fmcat.h"
#include "process/pipcf.h"

using namespace chldtest;

namespace {

std::string bytes(const uint8_t* p, size_t at, size_t n) { return std::string(reinterpret_cast<const char*>(p + at), n); }
std::string pad(std::string s, size_t n) {
  s.resize(n, ' ');
  return s;
}
uint16_t u16(const uint8_t* p, size_t at) { return uint16_t(p[at] | p[at + 1] << 8); }

class Bltin : public ChldFix {
 protected:
  void SetUp() override {
    ChldFix::SetUp();
    ASSERT_EQ(fx::write("APPL", nullptr, nullptr, {fx::appl("0LA", "00")}), 1);
    std::vector<fx::Rec> recs;
    for (const char* n : {"HELP", "HELP OPTION", "SELECT ACCESS PATH", "SET ENTRY ATTRIBUTES"}) {
      recs.push_back(proc_rec(n, 2, "0"));
      descs()[n] = Desc{{1}, {}, {}, false};
    }
    ASSERT_EQ(fx::write("PROCESS", "0LA", "00", recs), int(recs.size()));
    pi_getters_reset();
    g_child = nullptr;
    proc_svc.ip_exec = [](Pcb* p) {
      if (g_child && p->invoc.app.str() == "0LA") g_child(p);
      ut_unwind(2);
    };
  }
  // What the built-in child does with the work files while it runs.
  static inline std::function<void(Pcb*)> g_child;
  static FpEntry entry() {
    FpEntry e;
    EXPECT_EQ(rt_read_first(fp_entry_file(), &e, sizeof e), 1);
    return e;
  }
  static void answer(std::function<void(FpEntry*)> f) {
    FpEntry e;
    EXPECT_EQ(rt_read_first(fp_entry_file(), &e, sizeof e), 1);
    f(&e);
    EXPECT_EQ(rt_upd_first(fp_entry_file(), &e, sizeof e), 1);
  }
  // The key elements of "ABC" file CUST: keys 0 .. n-1, labelled "PATH k",
  // all selectable but `not_offered`.
  void keys(int n, int not_offered = -1) {
    std::vector<fx::Rec> recs;
    for (int k = 0; k < n; ++k) {
      char name[23], label[31], stamp[32];
      std::snprintf(name, sizeof name, "CUST KEY %d", k);
      std::snprintf(stamp, sizeof stamp, "2026-04-04T00:00:%02d", k);
      std::snprintf(label, sizeof label, "PATH %d", k);
      recs.push_back(fx::rec("ELEMENT", {{"name", name}, {"file", "CUST"}, {"number", std::to_string(k + 1)},
                                         {"work", "0"}, {"kind", "1"}, {"length", "4"}, {"occurs", "1"},
                                         {"key_kind", k ? "1" : "0"}, {"key_no", std::to_string(k)},
                                         {"flag92", k == not_offered ? "0" : "1"}, {"label", label},
                                         {"ident_stamp", stamp}}));
    }
    ASSERT_EQ(fx::write("ELEMENT", "ABC", "00", recs), n);
  }
};

// HELP of a masked numeric item with a look-up: every byte the record
// defines, and the 255 at byte 4 over the occurrence's high byte.
TEST_F(Bltin, HelpRecordOfAMaskedNumericItemWithALookUp) {
  MmPool pool = e.pool;
  auto* em = static_cast<EmHeader*>(MM_ALLOC(pool, sizeof(EmHeader)));
  std::memset(static_cast<void*>(em), 0, sizeof *em);
  auto* c = static_cast<EmCitm*>(MM_ALLOC(pool, sizeof(EmCitm)));
  std::memset(static_cast<void*>(c), 0, sizeof *c);
  c->item_no = 3;
  c->occ = 0x0102;
  c->field.set("CUST BALANCE");
  c->disp = 2;
  c->flag = 1;
  c->use = 0;
  c->flag60 = 1;
  c->use2 = 1;
  c->input = 1;
  c->pcf_fld = 7;
  c->wm.data_type = 12;
  c->wm.mask.set("ZZ,ZZ9.99-");
  c->lk_no = 1;
  c->secr[0] = 11;
  c->secr[1] = 22;
  // The look-up: its file reference through the control area's slot.
  auto* cfi = static_cast<EmCfi*>(MM_ALLOC(pool, sizeof(EmCfi)));
  std::memset(static_cast<void*>(cfi), 0, sizeof *cfi);
  cfi->fdb.app.set("ABC");
  cfi->fdb.name.set("REGION");
  cfi->fdb.db.set("DB1");
  auto* ctl = static_cast<PiFileCtl*>(MM_ALLOC(pool, sizeof(PiFileCtl)));
  std::memset(static_cast<void*>(ctl), 0, sizeof *ctl);
  ctl->cfi.set(cfi);
  auto* slot = static_cast<Ref<uint8_t>*>(MM_ALLOC(pool, 4));
  slot->set(reinterpret_cast<uint8_t*>(ctl));
  FmFdb f;
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb) * FM_CAT_SDB_AREA));
  em_cdlu_fdb(&f, kdb, sdb);
  ASSERT_EQ(FM_CREATE(&f, com.base_scope, 0, 0, 15, 15), 1);
  em->cdlu.set(f.handle.get());
  auto* d = static_cast<EmCdlu*>(MM_ALLOC(pool, sizeof(EmCdlu)));
  std::memset(static_cast<void*>(d), 0, sizeof *d);
  d->number = 1;
  d->ctl_ira = arena::offset_of(slot);
  d->flag130 = 1;
  d->b132 = 2;
  PROTO_FULL(em->cdlu.get(), 0, reinterpret_cast<uint8_t*>(d));
  ASSERT_EQ(fm_write(em->cdlu.get()), 1);
  em->n_items = 1;
  auto* items = static_cast<PcbItemEnt*>(MM_ALLOC(pool, 2 * sizeof(PcbItemEnt)));
  std::memset(static_cast<void*>(items), 0, 2 * sizeof(PcbItemEnt));
  items[1].citm.set(c);
  Pcb* p = e.pcb("X");
  p->module.set(em);
  p->item_tbl.set(items);

  auto* r = static_cast<uint8_t*>(MM_ALLOC(pool, 1424));
  bld_help_itm(p, r, 1);
  EXPECT_EQ(r[0], 4);
  EXPECT_EQ(u16(r, 1), 3);
  EXPECT_EQ(r[3], 0x02) << "the occurrence's low byte";
  EXPECT_EQ(r[4], 255) << "written last, over the occurrence's high byte";
  EXPECT_EQ(bytes(r, 5, 30), pad("CUST BALANCE", 30));
  EXPECT_EQ(bytes(r, 35, 1264), std::string(1264, ' '));
  EXPECT_EQ(r[1299], 2);
  EXPECT_EQ(bytes(r, 1300, 2), "10");
  EXPECT_EQ(r[1302], 0);
  EXPECT_EQ(bytes(r, 1303, 2), "10");
  EXPECT_EQ(r[1306], 1);
  EXPECT_EQ(bytes(r, 1308, 2), "11");
  EXPECT_EQ(u16(r, 1310), 7);
  EXPECT_EQ(r[1316], '1') << "a mask with a sign";
  EXPECT_EQ(bytes(r, 1318, 60), pad("ZZ,ZZ9.99-", 60));
  EXPECT_EQ(r[1378], 0);
  EXPECT_EQ(bytes(r, 1379, 11), "ABCREGION  ");
  EXPECT_EQ(bytes(r, 1390, 20), std::string(20, ' '));
  EXPECT_EQ(bytes(r, 1410, 2), "DB");
  EXPECT_EQ(r[1413], '1');
  EXPECT_EQ(r[1414], 2);
  EXPECT_EQ(r[1416] | r[1417] << 8, 11);
  EXPECT_EQ(r[1420] | r[1421] << 8, 22);
  // Without a look-up: blank file, failure action 0.
  c->lk_no = 0;
  bld_help_itm(p, r, 1);
  EXPECT_EQ(bytes(r, 1379, 11), std::string(11, ' '));
  EXPECT_EQ(r[1414], 0);
  Engine::free_pcb(p);
}

// HELP OPTION lists exactly the image's numbered children in option
// order and runs; an image without them runs nothing. HELP needs a
// current field.
TEST_F(Bltin, HelpOptionListsTheImagesOptions) {
  procs({{"PARENT", 1}});
  std::vector<EmCchld*> kids{child(1, "SEVEN", 4, 1), child(2, "THREE", 7, 1), child(3, "OTHER", 4, 2),
                             child(4, "FRAME", 4, 0)};
  kids[0]->child_no = 7;
  kids[1]->child_no = 3;
  std::vector<std::string> listed;
  g_child = [&](Pcb* c) {
    listed.push_back(c->invoc.name.str());
    FmArb* f = fp_helpopt_file();
    FpHelpOpt r;
    auto* buf = static_cast<FpHelpOpt*>(MM_ALLOC(pc_scratch_pool(), sizeof r));
    PROTO_FULL(f, 0, reinterpret_cast<uint8_t*>(buf));
    f->op = FM_OP_FIRST;
    fm_start(f);
    f->op = 0;
    while (fm_rdnxt(f))
      listed.push_back(std::to_string(buf->option) + " " + buf->app.str() + " " + std::to_string(buf->type) + " " +
                       buf->name.str());
    mm_free(buf);
  };
  run_parent("PARENT", 1, [&](Pcb* p) {
    Frame fr(p, e.pool, kids);
    p->run.image = 1;
    EXPECT_EQ(fp_opt_help_opt(p), 0);
    p->run.image = 3;
    EXPECT_EQ(fp_opt_help_opt(p), 0);
    p->run.cur_item = 0;
    EXPECT_EQ(fp_opt_help(p), 0);
  });
  EXPECT_EQ(listed, (std::vector<std::string>{"HELP OPTION", "3 ABC 7 THREE", "7 ABC 4 SEVEN"}));
}

// SELECT KEY in key entry with 3 paths: the names and key numbers go into
// ENTRY, the choice (byte 3) becomes the stream's key and the mode's
// result (28-30); the current path or CANCEL changes nothing.
TEST_F(Bltin, SelectAccessPathOfThreePaths) {
  procs({{"PARENT", 2}});
  keys(4, 3);
  int choose = 0, runs = 0;
  FpEntry seen;
  g_child = [&](Pcb*) {
    ++runs;
    seen = entry();
    answer([&](FpEntry* e) { e->choice = uint8_t(choose); });
    if (choose == 0) ut_unwind(4);
  };
  run_parent("PARENT", 2, [&](Pcb* p) {
    EmHeader* em = p->module.get();
    em->pcf_app.set("ABC");
    em->pcf_name.set("CUST");
    FmArb* st = fp_helpopt_file();  // any handle serves as the stream: only its key is used
    p->pcf_stream.set(st);
    st->key_no = 0;
    phase(p)->phase = 6;
    const int want[3][3] = {{2, 2, 28}, {3, 3, 29}, {4, 1, 30}};  // MODE, choice, result
    for (auto& w : want) {
      phase(p)->mode = uint8_t(w[0]);
      choose = w[1];
      EXPECT_EQ(fp_opt_select_key(p), w[2]);
      EXPECT_EQ(st->key_no, uint8_t(w[1] - 1));
    }
    EXPECT_EQ(fp_opt_select_key(p), 0) << "the path chosen is the current one";
    choose = 0;
    st->key_no = 2;
    EXPECT_EQ(fp_opt_select_key(p), 0);
    EXPECT_EQ(st->key_no, 2) << "CANCEL keeps the path";
    em->pcf_name.set("        ");
    p->pcf_stream.reset();
  });
  EXPECT_EQ(runs, 5);
  EXPECT_EQ(bytes(reinterpret_cast<uint8_t*>(&seen), 4, 90), pad("PATH 0", 30) + pad("PATH 1", 30) + pad("PATH 2", 30));
  EXPECT_EQ(bytes(reinterpret_cast<uint8_t*>(&seen), 94, 420), std::string(420, ' ')) << "PATH 3 is not offered";
  const uint8_t* raw = reinterpret_cast<uint8_t*>(&seen);
  EXPECT_EQ(raw[514], 0);
  EXPECT_EQ(raw[515], 1);
  EXPECT_EQ(raw[516], 2);
}

// 17 paths and a query: 16 paths and "Query" are the 17 entries, and the
// key numbers at 514-530 stay whole; without a query 17 paths, the 18th
// key left out.
TEST_F(Bltin, SeventeenEntriesCountingQuery) {
  procs({{"PARENT", 2}});
  keys(18);
  FpEntry seen;
  g_child = [&](Pcb*) {
    seen = entry();
    ut_unwind(4);
  };
  auto check = [&](bool query) {
    run_parent("PARENT", 2, [&](Pcb* p) {
      EmHeader* em = p->module.get();
      em->pcf_app.set("ABC");
      em->pcf_name.set("CUST");
      p->pcf_stream.set(fp_helpopt_file());
      fp_helpopt_file()->key_no = 0;
      phase(p)->phase = 6;
      phase(p)->mode = 3;
      if (query) p->invoc.query_app.set("ABC");
      EXPECT_EQ(fp_opt_select_key(p), 0);
      em->pcf_name.set("        ");
      p->pcf_stream.reset();
    });
    const uint8_t* raw = reinterpret_cast<uint8_t*>(&seen);
    int paths = query ? 16 : 17;
    for (int i = 0; i < paths; ++i) {
      EXPECT_EQ(bytes(raw, 4 + 30 * i, 30), pad("PATH " + std::to_string(i), 30));
      EXPECT_EQ(raw[514 + i], i);
    }
    if (query) {
      EXPECT_EQ(bytes(raw, 4 + 30 * 16, 30), pad("Query", 30));
    }
    EXPECT_EQ(bytes(raw, 531, 353), std::string(353, ' '));
  };
  check(false);
  check(true);
}

// SET ENTRY ATTRIBUTES shows the current settings; blank answers change
// nothing, '0' and '1' set them.
TEST_F(Bltin, EntryAttributesBlankAnswersChangeNothing) {
  procs({{"PARENT", 2}});
  std::string offered;
  const char* reply = "   ";
  g_child = [&](Pcb*) {
    FpEntry e = entry();
    offered = bytes(reinterpret_cast<uint8_t*>(&e), 0, 3);
    answer([&](FpEntry* x) { std::memcpy(x, reply, 3); });
  };
  run_parent("PARENT", 2, [&](Pcb* p) {
    steer(p)->auto_readnext.set("1");
    steer(p)->exact_key.set("0");
    EXPECT_EQ(fp_opt_entry_attrs(p), 0);
    EXPECT_EQ(offered, "10 ");
    EXPECT_EQ(steer(p)->auto_readnext.str(), "1");
    EXPECT_EQ(steer(p)->exact_key.str(), "0");
    reply = "01 ";
    fp_opt_entry_attrs(p);
    EXPECT_EQ(steer(p)->auto_readnext.str(), "0");
    EXPECT_EQ(steer(p)->exact_key.str(), "1");
  });
}

// The terminal emulator's hooks and direct process 1 run in their own
// database and put the current one back, also when an unwind passes
// through them; the hooks run only while the emulator's flag is on.
TEST_F(Bltin, ProcessesRunByNamePutTheDatabaseBack) {
  procs({{"PARENT", 1}, {"KEA START", 6}, {"KEA AFTER", 6}, {"DIRECT ONE", 6}});
  fx::Rec sp = fx::rec("SYSPARM", {{"dp1_app", "ABC"}, {"dp1_type", "6"}, {"dp1_name", "DIRECT ONE"},
                                   {"dp1_db", "DB3"}, {"kea_app", "ABC"}, {"kea_ver", "00"},
                                   {"kea_start", "KEA START"}, {"kea_after", "KEA AFTER"}, {"kea_db", "DB2"}});
  ASSERT_EQ(fx::write("SYSPARM", nullptr, nullptr, {sp}), 1);
  pi_getters_reset();
  ASSERT_EQ(fp_bltin_init(), 1);
  std::vector<std::string> seen;
  int unwind_to = -1;
  on_ep = [&](Pcb* p, int ep) {
    if (ep != 1) return;
    seen.push_back(p->invoc.name.str() + " in " + com.cur_db.str());
    if (unwind_to >= 0 && p->invoc.name.str() == "KEA AFTER") ut_unwind_to(unwind_to, 4);
  };
  com.cur_db.set("DB1");
  std::vector<EmCchld*> kids{child(1, "X", 4, 1)};
  run_parent("PARENT", 1, [&](Pcb* p) {
    Frame fr(p, e.pool, kids);
    p->run.image = 1;
    fp_keaterm(p, 1);
    EXPECT_TRUE(seen.empty()) << "the flag is off";
    fp_set_keaterm(true);
    fp_keaterm(p, 1);
    fp_opt_direct(p, 272);
    EXPECT_EQ(com.cur_db.str(), "DB1");
    int code = ::mark(0, [&] {
      unwind_to = com.depth;
      fp_keaterm(p, 2);
    });
    EXPECT_EQ(code, 4);
    EXPECT_EQ(com.cur_db.str(), "DB1") << "the unwind put it back";
    fp_set_keaterm(false);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"KEA START in DB2", "DIRECT ONE in DB3", "KEA AFTER in DB2"}));
}

}  // namespace

namespace {

// SCAN runs the Subroutine QUVO_SCAN_PROC names (with a current field, in
// MODE 1 or in key entry; else 300590 and nothing runs); a scan that chose
// a record (OPTION 22) ends the image, with 36 in key entry.
TEST_F(Bltin, ScanRunsTheProcessQuvoScanProcNames) {
  procs({{"PARENT", 2}});
  ASSERT_EQ(fx::write("PROCESS", "0LA", "00", {proc_rec("MY SCAN", 6, "0")}), 1);
  descs()["MY SCAN"] = Desc{{1}, {}, {}, false};
  setenv("QUVO_SCAN_PROC", "MY SCAN", 1);
  ASSERT_EQ(fp_bltin_init(), 1);
  unsetenv("QUVO_SCAN_PROC");
  EXPECT_EQ(fp_bltin_invoc("SCAN")->name.str(), "MY SCAN");
  int scans = 0;
  bool choose = false;
  on_ep = [&](Pcb* p, int ep) {
    if (ep != 1 || p->invoc.name.str() != "MY SCAN") return;
    ++scans;
    if (choose) status(static_cast<Pcb*>(p->invoc.parent_pcb.get()))->option = 22;
  };
  run_parent("PARENT", 2, [&](Pcb* p) {
    phase(p)->mode = 3;
    phase(p)->phase = 3;
    p->run.cur_item = 0;
    EXPECT_EQ(fp_opt_scan(p), 0);
    EXPECT_EQ(scans, 0);
    EXPECT_EQ(messages(p).size(), 1u) << "300590";
    phase(p)->mode = 1;
    status(p)->option = 257;
    EXPECT_EQ(fp_opt_scan(p), 0);
    EXPECT_EQ(scans, 1);
    choose = true;
    EXPECT_EQ(fp_opt_scan(p), kFpDone);
    EXPECT_EQ(status(p)->next_child.str(), "+");
    phase(p)->mode = 3;
    phase(p)->phase = 6;
    EXPECT_EQ(fp_opt_scan(p), kFpScanChose);
  });
  EXPECT_EQ(scans, 3);
}

// SELECT KEY outside key entry adds a dynamic key on the current field,
// unless QUVO_DISABLE_DYNAKEYS is set.
TEST_F(Bltin, SelectKeyOutsideKeyEntryAddsADynamicKey) {
  procs({{"PARENT", 2}});
  auto* c = static_cast<EmCitm*>(MM_ALLOC(e.pool, sizeof(EmCitm)));
  std::memset(static_cast<void*>(c), 0, sizeof *c);
  c->field.set("CUST NAME");
  c->text1.set("Name");
  c->wm.data_type = 1;
  c->wm.length = 4;
  c->wm.value.set(static_cast<uint8_t*>(MM_ALLOC(e.pool, 4)));
  auto* items = static_cast<PcbItemEnt*>(MM_ALLOC(e.pool, 2 * sizeof(PcbItemEnt)));
  std::memset(static_cast<void*>(items), 0, 2 * sizeof(PcbItemEnt));
  items[1].citm.set(c);
  for (bool off : {true, false}) {
    if (off) setenv("QUVO_DISABLE_DYNAKEYS", "1", 1);
    ASSERT_EQ(fp_bltin_init(), 1);
    unsetenv("QUVO_DISABLE_DYNAKEYS");
    EXPECT_EQ(fp_dynakeys_off(), off);
    bool added = false;
    run_parent("PARENT", 2, [&](Pcb* p) {
      EmHeader* em = p->module.get();
      Ref<PcbItemEnt> keep = p->item_tbl;
      uint16_t n = em->n_items;
      em->n_items = 1;
      p->item_tbl.set(items);
      p->run.cur_item = 1;
      phase(p)->phase = 1;
      EXPECT_EQ(fp_opt_select_key(p), 0);
      added = bool(p->dyna);
      pi_dyna_add(p, nullptr);
      p->item_tbl = keep;
      em->n_items = n;
    });
    EXPECT_EQ(added, !off);
  }
}

// Direct process 2 of a design process ("0AD") runs as a SUBPROCESS with
// the label "TEST"; the caller's NEXT VERSION is put back after it, also
// when an unwind passes through.
TEST_F(Bltin, DirectProcessTwoPutsNextVersionBack) {
  procs({{"PARENT", 1}, {"DIRECT TWO", 6}});
  ASSERT_EQ(fx::write("APPL", nullptr, nullptr, {fx::appl("0AD", "00")}), 1);
  fx::Rec prm = fx::rec("PARAM", {{"dp2_app", "ABC"}, {"dp2_type", "6"}, {"dp2_name", "DIRECT TWO"}});
  ASSERT_EQ(fx::write("PARAM", "0AD", "00", {prm}), 1);
  pi_getters_reset();
  std::vector<std::string> seen;
  int unwind_to = -1;
  on_ep = [&](Pcb* p, int ep) {
    if (ep != 1 || p->invoc.name.str() != "DIRECT TWO") return;
    auto* caller = static_cast<Pcb*>(p->invoc.parent_pcb.get());
    seen.push_back(std::to_string(p->invoc.kind) + " " + p->invoc.reserved_text.str());
    status(caller)->next_ver.set("07");
    if (unwind_to >= 0) ut_unwind_to(unwind_to, 4);
  };
  run_parent("PARENT", 1, [&](Pcb* p) {
    p->invoc.app.set("0AD");
    status(p)->next_ver.set("01");
    fp_opt_direct(p, 273);
    EXPECT_EQ(status(p)->next_ver.str(), "01");
    int code = ::mark(0, [&] {
      unwind_to = com.depth;
      fp_opt_direct(p, 273);
    });
    EXPECT_EQ(code, 4);
    EXPECT_EQ(status(p)->next_ver.str(), "01") << "the unwind put it back";
    p->invoc.app.set("ABC");
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"0 TEST", "0 TEST"}));
}

}  // namespace
