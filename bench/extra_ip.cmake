# The response-time benchmark runs the engine users run on a pseudo-terminal
# over the executors' test application, and bench_wm_refresh for its anchors.
if(TARGET bench_ip_latency)
  target_compile_definitions(bench_ip_latency PRIVATE QUVOGEN_BINARY="$<TARGET_FILE:quvogen>"
    QUVO_ENGINE="$<TARGET_FILE:quvo>" QUVO_DATA_APPS="${CMAKE_SOURCE_DIR}/data/apps"
    QUVO_IP_APP="${CMAKE_SOURCE_DIR}/tests/executors/ip-app" BENCH_WM_REFRESH="$<TARGET_FILE:bench_wm_refresh>")
  add_dependencies(bench_ip_latency quvogen quvo bench_wm_refresh)
endif()
