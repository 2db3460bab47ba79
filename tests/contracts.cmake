kivra_add_test(test_sdk_contracts ${CMAKE_CURRENT_LIST_DIR}/test_sdk_contracts.cpp)
