# What `cmake --install` puts in the prefix for hosts: the shared library
# (versioned soname), the public header, a pkg-config file, a CMake package
# with the imported target vantle_video_runtime::vantle_video_runtime, and the
# vantle-video tool.
include(CMakePackageConfigHelpers)

set(VANTLE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vantle_video_runtime)

install(TARGETS vantle_video_runtime EXPORT vantle_video_runtime_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/src/vantle_video_runtime.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT vantle_video_runtime_targets
  NAMESPACE vantle_video_runtime::
  FILE vantle_video_runtimeTargets.cmake
  DESTINATION ${VANTLE_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/vantle_video_runtimeConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vantle_video_runtimeConfig.cmake
  INSTALL_DESTINATION ${VANTLE_CMAKE_DIR})
# The C interface only grows within a major version.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vantle_video_runtimeConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vantle_video_runtimeConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/vantle_video_runtimeConfigVersion.cmake
  DESTINATION ${VANTLE_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so the install works
# under any --prefix given to `cmake --install`.
file(RELATIVE_PATH VANTLE_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VANTLE_PC_TO_PREFIX "${VANTLE_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/vantle-video-runtime.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/vantle-video-runtime.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vantle-video-runtime.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET vantle-video)
  # Finds the library beside it in the prefix, wherever the prefix is.
  set_target_properties(vantle-video PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS vantle-video RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
