# Concurrency stress test: engine, Wwise and game threads through the whole
# bridge. Bounded in time (KIVRA_STRESS_SECONDS, default 3); label "stress".
kivra_add_test(test_stress ${CMAKE_CURRENT_LIST_DIR}/test_stress.cpp)
set_tests_properties(test_stress PROPERTIES LABELS stress TIMEOUT 600)
