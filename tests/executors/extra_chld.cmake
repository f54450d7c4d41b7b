# The built-in children's tests read what the generator makes of the
# runtime application's sources.
target_link_libraries(test_executors PRIVATE quvogen_lib)
target_compile_definitions(test_executors PRIVATE QUVO_DATA_APPS="${CMAKE_SOURCE_DIR}/data/apps")
