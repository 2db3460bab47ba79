# Cross-builds the Windows x64 DLL, the stand-in SDK DLL and the test suite
# with Debian's mingw-w64 (package g++-mingw-w64-x86-64), and runs the tests
# under wine64 through CTest.
#
# The -posix compilers are required: with the win32 thread model g++ 12 has
# no std::thread or std::mutex.
#
#   cmake --preset windows-mingw && cmake --build --preset windows-mingw
#   ctest --preset windows-mingw
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KIVRA_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${KIVRA_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KIVRA_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KIVRA_MINGW_TRIPLE}-windres)
find_program(KIVRA_MINGW_OBJDUMP NAMES ${KIVRA_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KIVRA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the GCC runtime into every binary so neither a game nor wine has to
# find libgcc_s_seh-1.dll, libstdc++-6.dll or libwinpthread-1.dll. -static
# makes the linker take libwinpthread.a; the project's own DLLs are still
# linked through their import libraries.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Tests run under wine64 (Debian installs it as /usr/lib/wine/wine64) in a
# private prefix inside the build tree, without wine's debug chatter.
find_program(KIVRA_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KIVRA_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${CMAKE_COMMAND};-E;env;WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;${KIVRA_WINE64}")
endif()
