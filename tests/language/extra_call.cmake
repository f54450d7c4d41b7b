# The library that CALL statements load by name: by path in the
# interpreter's tests, by name (LD_LIBRARY_PATH) from the real engine.
add_library(quvo_testcall SHARED ${CMAKE_CURRENT_SOURCE_DIR}/language/dynlib_call.c)
set_target_properties(quvo_testcall PROPERTIES C_VISIBILITY_PRESET default OUTPUT_NAME qvcall)
# A fault in the callee unwinds through its frames; the callee is outside
# the engine (its faults are meant), so the sanitizers leave it alone.
target_compile_options(quvo_testcall PRIVATE -fasynchronous-unwind-tables -fexceptions -fno-sanitize=all)
add_dependencies(test_language quvo_testcall)
add_dependencies(test_process quvo_testcall)
target_compile_definitions(test_language PRIVATE QUVO_TESTCALL="$<TARGET_FILE:quvo_testcall>")
target_compile_definitions(test_process PRIVATE QUVO_TESTCALL="$<TARGET_FILE:quvo_testcall>")
