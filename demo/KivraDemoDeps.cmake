# Finds what the demo needs to read and convert audio files: libsndfile and
# libsamplerate through pkg-config. Sets KIVRA_DEMO_DEPS_FOUND and the
# imported targets PkgConfig::KIVRA_SNDFILE and PkgConfig::KIVRA_SAMPLERATE;
# and, optional, PortAudio for the live mode: KIVRA_DEMO_PORTAUDIO_FOUND and
# PkgConfig::KIVRA_PORTAUDIO.
set(KIVRA_DEMO_DEPS_FOUND OFF)
set(KIVRA_DEMO_PORTAUDIO_FOUND OFF)
if(UNIX AND NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(KIVRA_SNDFILE QUIET IMPORTED_TARGET GLOBAL sndfile)
    pkg_check_modules(KIVRA_SAMPLERATE QUIET IMPORTED_TARGET GLOBAL samplerate)
    if(KIVRA_SNDFILE_FOUND AND KIVRA_SAMPLERATE_FOUND)
      set(KIVRA_DEMO_DEPS_FOUND ON)
    endif()
    pkg_check_modules(KIVRA_PORTAUDIO QUIET IMPORTED_TARGET GLOBAL portaudio-2.0)
    if(KIVRA_PORTAUDIO_FOUND)
      set(KIVRA_DEMO_PORTAUDIO_FOUND ON)
    endif()
  endif()
endif()
