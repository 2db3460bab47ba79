# The log writer, the log path rule and the platform rules of this build.
kivra_add_test(test_log ${CMAKE_CURRENT_LIST_DIR}/test_log_writer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_log_threads.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_log_repeat.cpp)
kivra_add_test(test_log_path ${CMAKE_CURRENT_LIST_DIR}/test_log_path.cpp)
# Replaces the global allocation functions: a binary of its own.
kivra_add_test(test_log_alloc ${CMAKE_CURRENT_LIST_DIR}/test_log_alloc.cpp)
if(CMAKE_HOST_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CROSSCOMPILING)
  # Counts descriptors through /proc/self/fd.
  kivra_add_test(test_log_posix ${CMAKE_CURRENT_LIST_DIR}/test_log_posix.cpp)
  # A FIFO nobody reads in place of the log file: a disk that has stopped.
  kivra_add_test(test_log_fifo ${CMAKE_CURRENT_LIST_DIR}/test_log_fifo.cpp)
endif()

if(KIVRA_PLATFORM STREQUAL "linux")
  kivra_add_test(test_platform_linux ${CMAKE_CURRENT_LIST_DIR}/test_platform_linux.cpp)
elseif(KIVRA_PLATFORM STREQUAL "android")
  kivra_add_test(test_platform_android ${CMAKE_CURRENT_LIST_DIR}/test_platform_android.cpp)
elseif(KIVRA_PLATFORM STREQUAL "macos")
  kivra_add_test(test_platform_macos ${CMAKE_CURRENT_LIST_DIR}/test_platform_macos.cpp)
elseif(KIVRA_PLATFORM STREQUAL "windows")
  kivra_add_test(test_platform_windows ${CMAKE_CURRENT_LIST_DIR}/test_platform_windows.cpp)
endif()
