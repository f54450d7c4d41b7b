# bench_ii2 runs a CALC/IF loop against Lua 5.4 (liblua5.4-dev).
find_package(PkgConfig REQUIRED)
if(NOT TARGET PkgConfig::LUA54)
  pkg_check_modules(LUA54 REQUIRED IMPORTED_TARGET lua5.4)
endif()
target_link_libraries(bench_ii2 PRIVATE PkgConfig::LUA54)
