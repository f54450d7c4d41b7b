# bench_scrun runs the compiled CALC loop against Lua 5.4 (liblua5.4-dev,
# found once by whichever file comes first) on the test fixtures' dictionary.
if(NOT TARGET PkgConfig::LUA54)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LUA54 REQUIRED IMPORTED_TARGET lua5.4)
endif()
find_package(GTest REQUIRED)
target_sources(bench_scrun PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/dict_fixtures.cpp)
target_include_directories(bench_scrun PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(bench_scrun PRIVATE PkgConfig::LUA54 GTest::gtest)
