# The window-manager demo program that the terminal tests drive under tmux.
add_executable(wm_demo ${CMAKE_CURRENT_SOURCE_DIR}/screen/demo/wm_demo.cpp)
target_link_libraries(wm_demo PRIVATE quvo_core)
add_dependencies(test_screen wm_demo)
target_compile_definitions(test_screen PRIVATE WM_DEMO="$<TARGET_FILE:wm_demo>")
