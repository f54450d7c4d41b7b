# The native-file benchmark measures against SQLite and LMDB.
if(TARGET bench_brf)
  target_link_libraries(bench_brf PRIVATE sqlite3 lmdb)
endif()
