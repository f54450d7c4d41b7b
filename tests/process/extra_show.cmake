# quvo-show: the engine's entry with the stand-in "show" executor of Menu and
# Input processes, which the screen tests drive under tmux.
add_executable(quvo-show ${CMAKE_SOURCE_DIR}/src/main.cpp ${CMAKE_CURRENT_SOURCE_DIR}/process/show/show_exec.cpp)
target_link_libraries(quvo-show PRIVATE quvo_test_hooks)
target_compile_definitions(quvo-show PRIVATE QUVO_EXTRA_REGISTER=show_register)
set_target_properties(quvo-show PROPERTIES ENABLE_EXPORTS ON)
add_dependencies(quvo-show boot_data)
add_dependencies(test_process quvo-show quvogen)
target_compile_definitions(test_process PRIVATE QUVO_SHOW="$<TARGET_FILE:quvo-show>"
  QUVOGEN_BINARY="$<TARGET_FILE:quvogen>" QUVO_DATA_APPS="${CMAKE_SOURCE_DIR}/data/apps")
