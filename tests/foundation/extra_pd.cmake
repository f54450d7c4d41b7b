# The packed-decimal tests check division and float conversion against GMP.
target_link_libraries(test_foundation PRIVATE gmp)
