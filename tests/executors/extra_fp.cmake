# The executors' tests generate and bootstrap their test applications.
add_dependencies(test_executors boot_data quvogen)
target_compile_definitions(test_executors PRIVATE QUVOGEN_BINARY="$<TARGET_FILE:quvogen>"
  QUVO_DATA_APPS="${CMAKE_SOURCE_DIR}/data/apps")
