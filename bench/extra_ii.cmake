# bench_ii measures the interpreter loop against Lua 5.4 (liblua5.4-dev).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LUA54 REQUIRED IMPORTED_TARGET lua5.4)
target_link_libraries(bench_ii PRIVATE PkgConfig::LUA54)
