# Install step and exported package: find_package(KivraWwiseWrapper) gives
# KivraWwiseWrapper::KivraWwiseWrapper and KivraWwiseWrapper::KivraWwiseRTCSDK.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The installed wrapper finds the SDK library installed beside it, with no
# loader environment variable (see KIVRA_INSTALL_RPATH in KivraPlatform.cmake).
if(KIVRA_INSTALL_RPATH)
  set_target_properties(KivraWwiseWrapper PROPERTIES INSTALL_RPATH "${KIVRA_INSTALL_RPATH}")
endif()

install(TARGETS KivraWwiseWrapper KivraWwiseRTCSDK
  EXPORT KivraWwiseWrapperTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  BUNDLE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/KivraWwiseWrapper)
install(FILES
  ${PROJECT_SOURCE_DIR}/include/KivraWwiseWrapper.h
  ${PROJECT_SOURCE_DIR}/include/KivraWwiseWrapperExport.h
  ${PROJECT_SOURCE_DIR}/include/KivraRtcEngine.h
  ${PROJECT_SOURCE_DIR}/include/IAkAudioBufferProxy.h
  ${PROJECT_SOURCE_DIR}/include/KivraWwisePluginApi.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/KivraWwiseWrapper)
install(EXPORT KivraWwiseWrapperTargets
  NAMESPACE KivraWwiseWrapper::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/KivraWwiseWrapper)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KivraWwiseWrapperConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/KivraWwiseWrapperConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/KivraWwiseWrapper)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KivraWwiseWrapperConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/KivraWwiseWrapperConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/KivraWwiseWrapperConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/KivraWwiseWrapper)
