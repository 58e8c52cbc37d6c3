# Installs what hosts need, in the components that the Debian packages take
# (debian/*.install):
#   runtime      libxr9al.so.1
#   development  the public headers (installed by each subsystem folder),
#                libxr9al.so, a CMake package (find_package(Xr9Al) ->
#                Xr9Al::xr9al) and a pkg-config file
#   standins     the platform stand-ins libosal and libktdei with their headers
#   tools        the xr9al tool, its manual page and the user-space CAN bus
include(CMakePackageConfigHelpers)

install(TARGETS xr9al EXPORT Xr9AlTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/xr9al)
install(EXPORT Xr9AlTargets NAMESPACE Xr9Al:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Xr9Al
  COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/Xr9AlConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/Xr9AlConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Xr9Al
  PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/Xr9AlConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Xr9AlConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/Xr9AlConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Xr9Al COMPONENT development)

configure_file(${CMAKE_CURRENT_LIST_DIR}/xr9al.pc.in ${CMAKE_CURRENT_BINARY_DIR}/xr9al.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/xr9al.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
