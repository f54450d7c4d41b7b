# The built-in children's tests read what the generator makes of the
# runtime application's sources.
target_link_libraries(test_executors PRIVATE quvogen_lib)
# The tmux tests' child that dies calls the test library by name.
add_dependencies(test_executors quvo_testcall)
target_compile_definitions(test_executors PRIVATE QUVO_TESTCALL="$<TARGET_FILE:quvo_testcall>")
