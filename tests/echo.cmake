# The simulated engine's delay estimator needs no audio library: built everywhere.
kivra_add_test(test_delay_estimator ${CMAKE_CURRENT_LIST_DIR}/test_delay_estimator.cpp)

# The simulated engine's echo canceller and the demo's echo scenario. Needs
# the demo's libraries and libwebrtc-audio-processing (scripts/install-deps.sh
# demo); without them the tests are left out.
include(${PROJECT_SOURCE_DIR}/demo/KivraDemoDeps.cmake)
if(KIVRA_BUILD_DEMO AND KIVRA_DEMO_DEPS_FOUND AND KIVRA_SIM_ECHO_CANCELLER)
  add_executable(test_echo ${CMAKE_CURRENT_LIST_DIR}/test_echo.cpp)
  target_link_libraries(test_echo PRIVATE kivra_demo_core ${KIVRA_GTEST_MAIN} ${KIVRA_GTEST})
  kivra_set_warnings(test_echo)
  add_test(NAME test_echo COMMAND test_echo)
  set_tests_properties(test_echo PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    ENVIRONMENT "KIVRA_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp" TIMEOUT 300
    COST 40)
elseif(KIVRA_BUILD_DEMO)
  message(STATUS "test_echo skipped: needs the demo's libraries and webrtc-audio-processing")
endif()
