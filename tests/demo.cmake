# The simulation in the stand-in SDK, and the demo program end to end.
kivra_add_test(test_sim_engine ${CMAKE_CURRENT_LIST_DIR}/test_sim_engine.cpp)

include(${PROJECT_SOURCE_DIR}/demo/KivraDemoDeps.cmake)
if(KIVRA_BUILD_DEMO AND KIVRA_DEMO_DEPS_FOUND)
  # The session tests load libKivraWwiseWrapper at run time as a game does, so
  # they link the demo's code and the SDK but not the library's objects.
  add_executable(test_demo_session ${CMAKE_CURRENT_LIST_DIR}/test_demo_session.cpp)
  target_link_libraries(test_demo_session PRIVATE kivra_demo_core ${KIVRA_GTEST_MAIN}
    ${KIVRA_GTEST})
  kivra_set_warnings(test_demo_session)
  add_test(NAME test_demo_session COMMAND test_demo_session)
  set_tests_properties(test_demo_session PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    ENVIRONMENT "KIVRA_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp" TIMEOUT 120)

  # The live mode's device drive, with two threads standing in for devices.
  # The replaced allocation functions must reach the wrapper loaded at run
  # time, so the executable exports its symbols.
  add_executable(test_demo_live ${CMAKE_CURRENT_LIST_DIR}/test_demo_live.cpp)
  target_include_directories(test_demo_live PRIVATE ${CMAKE_CURRENT_LIST_DIR}/support)
  target_link_libraries(test_demo_live PRIVATE kivra_demo_core ${KIVRA_GTEST_MAIN} ${KIVRA_GTEST})
  set_target_properties(test_demo_live PROPERTIES ENABLE_EXPORTS ON)
  kivra_set_warnings(test_demo_live)
  add_test(NAME test_demo_live COMMAND test_demo_live)
  set_tests_properties(test_demo_live PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    TIMEOUT 60)

  # The timeline picture's layout at every session length, from made-up
  # session results (no session runs).
  add_executable(test_demo_timeline ${CMAKE_CURRENT_LIST_DIR}/test_demo_timeline.cpp)
  target_link_libraries(test_demo_timeline PRIVATE kivra_demo_core ${KIVRA_GTEST_MAIN}
    ${KIVRA_GTEST})
  kivra_set_warnings(test_demo_timeline)
  add_test(NAME test_demo_timeline COMMAND test_demo_timeline)

  # Bounded latency under stalls, drift and virtual voices, in virtual time
  # (two simulated hours; about two minutes of wall time).
  add_executable(test_latency_session ${CMAKE_CURRENT_LIST_DIR}/test_latency_session.cpp)
  target_link_libraries(test_latency_session PRIVATE kivra_demo_core ${KIVRA_GTEST_MAIN}
    ${KIVRA_GTEST})
  kivra_set_warnings(test_latency_session)
  add_test(NAME test_latency_session COMMAND test_latency_session
    --gtest_filter=-*Kilohertz*)
  set_tests_properties(test_latency_session PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    ENVIRONMENT "KIVRA_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp" TIMEOUT 900 LABELS long COST 25)
  # The same drift hours with Wwise at 24, 32 and 44.1 kHz, one entry per
  # rate so that they run beside the rest (two simulated hours each; about
  # three minutes of wall time each at full length).
  foreach(khz 24 32 44)
    add_test(NAME test_latency_rate_${khz}k COMMAND test_latency_session
      --gtest_filter=*DriftAt${khz}Kilohertz*)
    set_tests_properties(test_latency_rate_${khz}k PROPERTIES
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
      ENVIRONMENT "KIVRA_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp" TIMEOUT 900 LABELS long
      COST 12)
  endforeach()
  # The longest of the suite at 44.1 kHz (the converter's costliest ratio):
  # started first, beside test_echo.
  set_tests_properties(test_latency_rate_44k PROPERTIES COST 35)

  # The program's command line, and its WAV files read back by sox's soxi,
  # a tool that did not write them.
  add_test(NAME demo_cli COMMAND ${CMAKE_COMMAND}
    -DDEMO=$<TARGET_FILE:kivra_demo> -DOUT=${CMAKE_BINARY_DIR}/test-tmp/demo_cli
    -P ${PROJECT_SOURCE_DIR}/demo/check_cli.cmake)
  set_tests_properties(demo_cli PROPERTIES TIMEOUT 120)
endif()
