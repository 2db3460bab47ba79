# The front end: registry, plugin handler, the C exports and the loaded library.
kivra_add_test(test_frontend
  ${CMAKE_CURRENT_LIST_DIR}/test_registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_handler.cpp)
kivra_add_test(test_frontend_threads ${CMAKE_CURRENT_LIST_DIR}/test_handler_threads.cpp)

# End to end: the shipped library loaded at run time, as a game loads it. The
# test links only the stand-in SDK, never the library's objects, so every
# call goes through the exported symbols.
add_executable(test_e2e
  ${CMAKE_CURRENT_LIST_DIR}/test_e2e.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/DynamicLibrary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/TestSupport.cpp)
target_include_directories(test_e2e PRIVATE ${CMAKE_CURRENT_LIST_DIR}/support
  ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(test_e2e PRIVATE KivraWwiseRTCSDK ${KIVRA_GTEST_MAIN} ${KIVRA_GTEST}
  ${CMAKE_DL_LIBS})
target_compile_definitions(test_e2e PRIVATE
  KIVRA_WRAPPER_LIBRARY_PATH="$<TARGET_FILE:KivraWwiseWrapper>"
  KIVRA_WRAPPER_LIBRARY_NAME="$<TARGET_FILE_NAME:KivraWwiseWrapper>")
add_dependencies(test_e2e KivraWwiseWrapper)
kivra_set_warnings(test_e2e)
add_test(NAME test_e2e COMMAND test_e2e)
set_tests_properties(test_e2e PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
  ENVIRONMENT "KIVRA_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp")

# The script layer's view: Python ctypes drives the six exports of the
# shipped library, with a small C face of the recording engine.
find_package(Python3 COMPONENTS Interpreter QUIET)
if(Python3_Interpreter_FOUND AND NOT CMAKE_CROSSCOMPILING)
  add_library(kivra_py_engine SHARED ${CMAKE_CURRENT_LIST_DIR}/python/kivra_py_engine.cpp)
  target_link_libraries(kivra_py_engine PRIVATE KivraWwiseRTCSDK)
  kivra_set_warnings(kivra_py_engine)
  add_test(NAME test_python_c_api
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/python/test_c_api.py
      $<TARGET_FILE:KivraWwiseWrapper> $<TARGET_FILE:kivra_py_engine>
      ${CMAKE_BINARY_DIR}/test-tmp/python)
  set_tests_properties(test_python_c_api PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()

# ELF builds that hide symbols: the shipped library exports the six
# functions and nothing else of its own.
if(KIVRA_HIDE_SYMBOLS AND NOT WIN32 AND NOT APPLE AND Python3_Interpreter_FOUND)
  add_test(NAME test_exported_symbols
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/python/check_exports.py
      $<TARGET_FILE:KivraWwiseWrapper>)
endif()

# Replaces the global allocation functions to count live bytes: its own binary.
kivra_add_test(test_talker_memory ${CMAKE_CURRENT_LIST_DIR}/test_talker_memory.cpp)
