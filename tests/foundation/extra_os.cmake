# The library that the tests of ss_dyn_load and os_call load by path.
add_library(quvo_testdyn SHARED ${CMAKE_CURRENT_SOURCE_DIR}/foundation/dynlib_os.c)
set_target_properties(quvo_testdyn PROPERTIES C_VISIBILITY_PRESET default)
add_dependencies(test_foundation quvo_testdyn)
target_compile_definitions(test_foundation PRIVATE QUVO_TESTDYN="$<TARGET_FILE:quvo_testdyn>")
