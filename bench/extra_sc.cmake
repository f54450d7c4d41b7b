# bench_sc measures the statement compiler against Lua 5.4's compiler (the
# liblua5.4-dev found for bench_ii; found once, by whichever file comes
# first) and builds its dictionary with the test fixtures.
if(NOT TARGET PkgConfig::LUA54)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LUA54 REQUIRED IMPORTED_TARGET lua5.4)
endif()
find_package(GTest REQUIRED)
target_sources(bench_sc PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/dict_fixtures.cpp)
target_include_directories(bench_sc PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(bench_sc PRIVATE PkgConfig::LUA54 GTest::gtest)
