# Concurrency stress test: engine, Wwise and game threads through the whole
# bridge. Bounded in time (KIVRA_STRESS_SECONDS, default 3); label "stress".
kivra_add_test(test_stress ${CMAKE_CURRENT_LIST_DIR}/test_stress.cpp)
set_tests_properties(test_stress PROPERTIES LABELS stress TIMEOUT 600)

# Sanitizer builds: a test that loads the instrumented library into an
# uninstrumented interpreter (Python's ctypes) needs the sanitizer runtime
# preloaded, and the interpreter's own allocations are not the library's leaks.
if(KIVRA_SANITIZER AND TEST test_python_c_api AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  if(KIVRA_SANITIZER STREQUAL "address")
    set(kivra_san_runtime libasan.so)
  else()
    set(kivra_san_runtime libtsan.so)
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${kivra_san_runtime}
    OUTPUT_VARIABLE kivra_san_runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  set_property(TEST test_python_c_api APPEND PROPERTY ENVIRONMENT
    "LD_PRELOAD=${kivra_san_runtime_path}" "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1")
endif()
