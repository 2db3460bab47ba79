# The bad states a session can stay in, each for a simulated minute through
# the exports with the stand-in engine and Wwise: the log stays paced.
kivra_add_test(test_degraded_states ${CMAKE_CURRENT_LIST_DIR}/test_degraded_states.cpp)
