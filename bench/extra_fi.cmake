# The file statements' benchmark builds its application with the generator,
# runs the engine users run, and measures against SQLite.
if(TARGET bench_fi)
  target_link_libraries(bench_fi PRIVATE sqlite3)
  target_compile_definitions(bench_fi PRIVATE QUVOGEN_BINARY="$<TARGET_FILE:quvogen>"
    QUVO_ENGINE="$<TARGET_FILE:quvo>" QUVO_DATA_APPS="${CMAKE_SOURCE_DIR}/data/apps"
    QUVO_BENCH_APPS="${CMAKE_SOURCE_DIR}/bench/fi-app")
  add_dependencies(bench_fi quvogen quvo)
endif()
