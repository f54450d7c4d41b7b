// Compiler tests: the signed-on user "USR" working in database "DB1" of
// "ABC" 00, and the process and statement compilers set up as the engine
// sets them up.
#pragma once

#include "design/se.h"
#include "language/sc.h"
#include "process/pc.h"
#include "process/pl_fixture.h"

namespace pltest {

// After Engine::start and Engine::dictionary (ASSERT_NO_FATAL_FAILURE it).
inline void compiler_setup() {
  auto u = fx::user("USR");
  rec::view<DUser>(u.data()).cache_thr = 1;
  rec::view<DUser>(u.data()).db.set("DB1");
  ASSERT_EQ(fx::write("USER", nullptr, nullptr, {u}), 1);
  ASSERT_EQ(fx::write("DATABASE", nullptr, nullptr,
                      {fx::rec("DATABASE", {{"id", "DB1"}, {"app", "ABC"}, {"ver", "00"}})}),
            1);
  pi_getters_reset();
  pc_init();
  ASSERT_EQ(rt_init_cmpl_err(), 1);
  se_init();
  se_register();
  pc_set_stmt_compiler(sc_cmpl);
  em_set_compiler(pc_em_compiler);
}

}  // namespace pltest
