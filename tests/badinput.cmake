# Bad input at the game's interface and on the audio paths.
kivra_add_test(test_bad_input ${CMAKE_CURRENT_LIST_DIR}/test_bad_input_api.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_bad_input_audio.cpp)
