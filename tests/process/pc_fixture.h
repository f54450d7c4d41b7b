// Compiler tests: the signed-on user "USR" working in database "DB1" of
// "ABC" 00, and the process and statement compilers set up as the engine
// sets them up.
#pragma once

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

}  // namespace pltest
