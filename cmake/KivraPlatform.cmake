# Chooses the platform rules once for the whole build: which platform file of
# src/platform is compiled and which symbols the library makes visible.
#
# KIVRA_PLATFORM_RULES: auto (the target's own), or on Linux one of
# linux | android | macos, to build and test the Android or macOS rules here.
set(KIVRA_PLATFORM_RULES "auto" CACHE STRING "Platform rules: auto, linux, android, macos, windows")
set_property(CACHE KIVRA_PLATFORM_RULES PROPERTY STRINGS auto linux android macos windows)

if(KIVRA_PLATFORM_RULES STREQUAL "auto")
  if(WIN32)
    set(KIVRA_PLATFORM "windows")
  elseif(ANDROID)
    set(KIVRA_PLATFORM "android")
  elseif(APPLE)
    set(KIVRA_PLATFORM "macos")
  else()
    set(KIVRA_PLATFORM "linux")
  endif()
else()
  set(KIVRA_PLATFORM "${KIVRA_PLATFORM_RULES}")
endif()

if(KIVRA_PLATFORM STREQUAL "windows")
  set(KIVRA_PLATFORM_SOURCE platform/KivraCommPlatformWindows.cpp)
elseif(KIVRA_PLATFORM STREQUAL "android")
  set(KIVRA_PLATFORM_SOURCE platform/KivraCommPlatformAndroid.cpp)
elseif(KIVRA_PLATFORM STREQUAL "macos")
  set(KIVRA_PLATFORM_SOURCE platform/KivraCommPlatformMacOS.cpp)
elseif(KIVRA_PLATFORM STREQUAL "linux")
  set(KIVRA_PLATFORM_SOURCE platform/KivraCommPlatformLinux.cpp)
else()
  message(FATAL_ERROR "Unknown KIVRA_PLATFORM_RULES '${KIVRA_PLATFORM_RULES}'")
endif()

# Visibility: Android leaves every symbol visible; macOS, Linux and Windows
# export the six functions only (Windows also the buffer proxy's members,
# through KW_API on the class).
if(KIVRA_PLATFORM STREQUAL "android")
  set(KIVRA_HIDE_SYMBOLS OFF)
else()
  set(KIVRA_HIDE_SYMBOLS ON)
endif()
message(STATUS "KivraWwiseWrapper platform rules: ${KIVRA_PLATFORM}")

# Run path of the installed library: the system loader looks for
# KivraWwiseRTCSDK beside the wrapper, wherever the two are installed or
# shipped together (the Windows loader does so by default). Chosen by the
# loader of the real target, not by the platform rules emulated on Linux.
if(WIN32)
  set(KIVRA_INSTALL_RPATH "")
elseif(APPLE)
  set(KIVRA_INSTALL_RPATH "@loader_path")
else()
  set(KIVRA_INSTALL_RPATH "$ORIGIN")
endif()
