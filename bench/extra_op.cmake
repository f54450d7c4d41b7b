# The report benchmark builds its application with the generator, runs the
# whole engine in a child on the memory terminal of the tests, and checks
# the engine's print file against its awk anchor (also as a test: --oracle).
if(TARGET bench_op)
  target_include_directories(bench_op PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(bench_op PRIVATE QUVOGEN_BINARY="$<TARGET_FILE:quvogen>"
    QUVO_ENGINE="$<TARGET_FILE:quvo>" QUVO_DATA_APPS="${CMAKE_SOURCE_DIR}/data/apps"
    QUVO_BENCH_APPS="${CMAKE_SOURCE_DIR}/bench/op-app")
  add_dependencies(bench_op quvogen quvo)
  add_test(NAME bench_op_oracle COMMAND bench_op --oracle)
  set_tests_properties(bench_op_oracle PROPERTIES TIMEOUT 300)
endif()
