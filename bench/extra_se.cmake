# bench_se measures the statement reader against Lua 5.4's compiler (the
# same liblua5.4-dev as bench_ii; found once, by whichever file comes first).
if(NOT TARGET PkgConfig::LUA54)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LUA54 REQUIRED IMPORTED_TARGET lua5.4)
endif()
target_link_libraries(bench_se PRIVATE PkgConfig::LUA54)
target_compile_definitions(bench_se PRIVATE QUVO_TEST_DIR="${CMAKE_SOURCE_DIR}/tests")
