# The arithmetic instructions are checked against an evaluator on GMP.
target_link_libraries(test_language PRIVATE gmpxx gmp)
