# Concurrency stress test: engine, Wwise and game threads through the whole
# bridge. Bounded in time (KIVRA_STRESS_SECONDS, default 3); label "stress".
kivra_add_test(test_stress ${CMAKE_CURRENT_LIST_DIR}/test_stress.cpp)
set_tests_properties(test_stress PROPERTIES LABELS stress TIMEOUT 600)

# Sanitizer builds: the Python ctypes test loads the instrumented library into
# an uninstrumented interpreter. Under ASan the runtime is preloaded and the
# interpreter's own allocations are not counted as the library's leaks. TSan's
# runtime cannot be loaded that way (static TLS), and the test is single-
# threaded, so it is left to the other builds there.
if(KIVRA_SANITIZER STREQUAL "address" AND TEST test_python_c_api
   AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
    OUTPUT_VARIABLE kivra_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  set_property(TEST test_python_c_api APPEND PROPERTY ENVIRONMENT
    "LD_PRELOAD=${kivra_asan_runtime}" "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1")
elseif(KIVRA_SANITIZER STREQUAL "thread" AND TEST test_python_c_api)
  set_tests_properties(test_python_c_api PROPERTIES DISABLED TRUE)
endif()
