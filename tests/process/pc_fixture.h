// Compiler tests: the signed-on user "USR" working in database "DB1" of
// "ABC" 00, and the process and statement compilers set up as the engine
// sets them up.
#pragma once

#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "design/se.h"
#include "language/sc.h"
#include "process/pc.h"
#include "process/pl_fixture.h"

namespace pltest {

// The signed-on user "USR" working in database "DB1" of "ABC" 00.
inline bool usr_in_db1() {
  auto u = fx::user("USR");
  rec::view<DUser>(u.data()).cache_thr = 1;
  rec::view<DUser>(u.data()).db.set("DB1");
  if (fx::write("USER", nullptr, nullptr, {u}) != 1) return false;
  if (fx::write("DATABASE", nullptr, nullptr, {fx::rec("DATABASE", {{"id", "DB1"}, {"app", "ABC"}, {"ver", "00"}})}) !=
      1)
    return false;
  pi_getters_reset();
  return true;
}

// The process and statement compilers, set up as the engine's start-up sets
// them up.
inline bool compilers_on() {
  pc_init();
  if (rt_init_cmpl_err() != 1) return false;
  se_init();
  se_register();
  pc_set_stmt_compiler(sc_cmpl);
  em_set_compiler(pc_em_compiler);
  return true;
}

// After Engine::start and Engine::dictionary (ASSERT_NO_FATAL_FAILURE it).
inline void compiler_setup() {
  ASSERT_TRUE(usr_in_db1());
  ASSERT_TRUE(compilers_on());
}

// Rewrites the saved module of the process `def` defines ("ABC" 00): its
// records but the closing checksum go through `edit` (which may change or
// drop them); the module is sealed again and put in place with the mode
// the engine gives it (trusted). ASSERT_NO_FATAL_FAILURE it.
inline void rewrite_saved_module(const DProc& def,
                                 const std::function<void(std::vector<std::vector<uint8_t>>&)>& edit) {
  uint32_t stamp[2] = {rec::view<rec::U32>(def.added.b), rec::view<rec::U32>(def.added.b + 4)};
  char nm[9] = {};
  pl_gen_nam(0, stamp, nm);
  FmFdb src, dst;
  for (FmFdb* f : {&src, &dst}) {
    INIT_FDB(f, FM_CLASS_DISK, FM_MAX_REC, 1, nullptr, 0);
    f->options = FM_OPT_NO_SYSDIR;
    f->stamp[0] = f->stamp[1] = 0xFFFFFFFFu;
  }
  INIT_DB_PATH(&src, "   ", "ABC", "00", nm, FM_PT_MOD);
  INIT_DB_PATH(&dst, "   ", "ABC", "00", "XCOPY", FM_PT_MOD);
  ASSERT_EQ(FM_OPEN(&src, 0, FM_OPT_NO_SYSDIR, 1, 15), 1);
  ASSERT_EQ(FM_CREATE(&dst, 0, 0, FM_OPT_NO_SYSDIR, 15, 15), 1);
  FmArb* sf = src.handle.get();
  FmArb* df = dst.handle.get();
  PcBuf<uint8_t> buf(FM_MAX_REC + 1);
  sf->rec.set(buf.bytes());
  sf->rec_len = FM_MAX_REC;
  std::vector<std::vector<uint8_t>> recs;
  while (fm_rdnxt(sf)) recs.emplace_back(buf.bytes(), buf.bytes() + sf->len_read);
  recs.pop_back();  // the checksum record
  edit(recs);
  for (auto& r : recs) {
    std::memcpy(buf.bytes(), r.data(), r.size());
    df->rec.set(buf.bytes());
    df->rec_len = uint16_t(r.size());
    ASSERT_EQ(fm_write(df), 1);
  }
  ASSERT_EQ(pl_seal(df), 1);
  FM_CLOSE(sf, 0);
  FM_CLOSE(df, FM_CL_KEEP);
  ASSERT_EQ(fm_replace(&src, &dst, 0), 1) << src.status;
  std::string path;
  ASSERT_TRUE(fm_os_path(&src, &path));
  ::chmod(path.c_str(), 0640);
}

}  // namespace pltest
