# bench_pd measures packed decimal against GMP integers.
target_link_libraries(bench_pd PRIVATE gmp)
