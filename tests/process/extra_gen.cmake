# The process tests that generate a test application and bootstrap it.
add_dependencies(test_process boot_data quvogen)
target_compile_definitions(test_process PRIVATE QUVOGEN_BINARY="$<TARGET_FILE:quvogen>"
  QUVO_DATA_APPS="${CMAKE_SOURCE_DIR}/data/apps")
