# The long crash soak of the native record files (not a CTest entry):
#   build/tests/brf_soak [kills] [max-microseconds-before-kill] [directory]
add_executable(brf_soak ${CMAKE_CURRENT_LIST_DIR}/tools/brf_soak.cpp)
target_include_directories(brf_soak PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(brf_soak PRIVATE quvo_core)
