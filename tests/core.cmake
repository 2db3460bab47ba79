# The audio core: ring buffer, conversions, bridge object and its three streams.
kivra_add_test(test_ring_buffer ${CMAKE_CURRENT_LIST_DIR}/test_ring_buffer.cpp)
kivra_add_test(test_latency_controller ${CMAKE_CURRENT_LIST_DIR}/test_latency_controller.cpp)
kivra_add_test(test_latency_reverse ${CMAKE_CURRENT_LIST_DIR}/test_latency_reverse.cpp)
set_tests_properties(test_latency_reverse PROPERTIES TIMEOUT 900 LABELS long)
kivra_add_test(test_conversions ${CMAKE_CURRENT_LIST_DIR}/test_conversions.cpp)
kivra_add_test(test_bridge_core
  ${CMAKE_CURRENT_LIST_DIR}/test_bridge_object.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_bridge_uplink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_bridge_downlink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_bridge_reverse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_bridge_repeats.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_format.cpp)
kivra_add_test(test_no_alloc ${CMAKE_CURRENT_LIST_DIR}/test_no_alloc.cpp)
kivra_add_test(test_threads_core
  ${CMAKE_CURRENT_LIST_DIR}/test_threads_uplink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_threads_downlink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_audio_mutex.cpp)
