# bench_pl builds its dictionary with the test fixtures and compiles through
# the process compiler.
find_package(GTest REQUIRED)
target_sources(bench_pl PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/dict_fixtures.cpp)
target_include_directories(bench_pl PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(bench_pl PRIVATE GTest::gtest)
