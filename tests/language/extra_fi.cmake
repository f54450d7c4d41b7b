# The file statements' engine tests build their test application with the
# generator and bootstrap it.
target_compile_definitions(test_language PRIVATE QUVOGEN_BINARY="$<TARGET_FILE:quvogen>"
  QUVO_DATA_APPS="${CMAKE_SOURCE_DIR}/data/apps")
add_dependencies(test_language quvogen)
