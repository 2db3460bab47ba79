# What the built library makes visible, checked on the built file itself:
# Linux and the macOS rules export the six functions only, the Android rules
# everything by default visibility, the Windows DLL the six functions and the
# buffer proxy's special members and virtual table.
find_program(KIVRA_PYTHON3 NAMES python3)
set(kivra_exports_check ${CMAKE_CURRENT_LIST_DIR}/exports/check_exports.py)

if(KIVRA_PYTHON3)
  add_test(NAME exports_lists COMMAND ${KIVRA_PYTHON3} ${kivra_exports_check} lists
    --header ${PROJECT_SOURCE_DIR}/include/KivraWwiseWrapper.h
    --map ${PROJECT_SOURCE_DIR}/cmake/exports.map
    --macos-list ${PROJECT_SOURCE_DIR}/cmake/exports_macos.txt)

  if(WIN32)
    # The expected names are GCC's (Itanium) manglings.
    if(MINGW AND CMAKE_OBJDUMP)
      add_test(NAME exports_table COMMAND ${KIVRA_PYTHON3} ${kivra_exports_check} pe
        --objdump ${CMAKE_OBJDUMP} --library $<TARGET_FILE:KivraWwiseWrapper>)
    endif()
  elseif(NOT APPLE AND CMAKE_NM)
    if(KIVRA_HIDE_SYMBOLS)
      add_test(NAME exports_table COMMAND ${KIVRA_PYTHON3} ${kivra_exports_check} elf
        --nm ${CMAKE_NM} --flavour hidden --library $<TARGET_FILE:KivraWwiseWrapper>)
    else()
      add_test(NAME exports_table COMMAND ${KIVRA_PYTHON3} ${kivra_exports_check} elf
        --nm ${CMAKE_NM} --flavour android --library $<TARGET_FILE:KivraWwiseWrapper>
        --objects "$<TARGET_OBJECTS:kivra_wrapper_objects>")
    endif()
  endif()
endif()

if(MINGW)
  # The Windows loader finds every exported name in the DLL and loads it with
  # nothing but system DLLs and the SDK beside it.
  add_executable(test_exports_windows ${CMAKE_CURRENT_LIST_DIR}/test_exports_windows.cpp)
  target_link_libraries(test_exports_windows PRIVATE ${KIVRA_GTEST_MAIN} ${KIVRA_GTEST})
  kivra_set_warnings(test_exports_windows)
  add_dependencies(test_exports_windows KivraWwiseWrapper KivraWwiseRTCSDK)
  add_test(NAME test_exports_windows COMMAND test_exports_windows)
  set_tests_properties(test_exports_windows PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()
