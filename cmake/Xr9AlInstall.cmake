# Installs what hosts need: the libraries, the public headers (installed by
# each subsystem folder), a CMake package (find_package(Xr9Al) ->
# Xr9Al::xr9al) and a pkg-config file. CPack turns the same install into
# Debian packages: runtime, development and tools.
include(CMakePackageConfigHelpers)

install(TARGETS xr9al osal ktdei EXPORT Xr9AlTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/xr9al)
install(EXPORT Xr9AlTargets NAMESPACE Xr9Al:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Xr9Al
  COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/Xr9AlConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/Xr9AlConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Xr9Al)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/Xr9AlConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Xr9AlConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/Xr9AlConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Xr9Al COMPONENT development)

configure_file(${CMAKE_CURRENT_LIST_DIR}/xr9al.pc.in ${CMAKE_CURRENT_BINARY_DIR}/xr9al.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/xr9al.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

set(CPACK_PACKAGE_NAME libxr9al)
set(CPACK_PACKAGE_VENDOR "libxr9al developers")
set(CPACK_PACKAGE_CONTACT "libxr9al developers <xr9al@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Communication layer between a terminal's update process and its update tool")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries are found in the build tree, not in installed packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR};${CMAKE_BINARY_DIR}/platform/osal;${CMAKE_BINARY_DIR}/platform/kt")
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libxr9al1)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libxr9al-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libxr9al1 (= ${PROJECT_VERSION}), qtbase5-dev")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME xr9al-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libxr9al1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
include(CPack)
