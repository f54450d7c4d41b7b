# The generator's tests link its library.
target_link_libraries(test_tools PRIVATE quvogen_lib)
target_compile_definitions(test_tools PRIVATE QUVOGEN_BINARY="$<TARGET_FILE:quvogen>"
  QUVO_DATA_APPS="${CMAKE_SOURCE_DIR}/data/apps")
add_dependencies(test_tools quvogen)
