# The vectorised conversion loops: every lane, every tail length, every
# alignment, and the inputs where a shortcut through float rounding fails.
kivra_add_test(test_conversion_vectors ${CMAKE_CURRENT_LIST_DIR}/test_conversion_vectors.cpp)
