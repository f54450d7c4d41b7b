# bench_pi builds its dictionary and modules with the test fixtures (the
# fixture compiler stands in for the process compiler until it exists).
find_package(GTest REQUIRED)
target_sources(bench_pi PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/dict_fixtures.cpp)
target_include_directories(bench_pi PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(bench_pi PRIVATE GTest::gtest)
