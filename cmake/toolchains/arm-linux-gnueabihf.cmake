# Cross build for the terminal: 32-bit ARM hard-float Linux (Debian armhf),
# with Debian's arm-linux-gnueabihf cross compiler.
#
#   cmake -S . -B build-arm \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake \
#     -DXR9AL_ARM_SYSROOT=/path/to/armhf/root
#
# XR9AL_ARM_SYSROOT (or the environment variable of that name): an unpacked
#   armhf file system with the target's C library, Qt 5 and Google Test
#   (headers, libraries, CMake package files). Required.
# XR9AL_QT_HOST_BINS: folder of the build machine's Qt 5 tools (moc, rcc,
#   qmake); default /usr/lib/qt5/bin. They must be of the sysroot's Qt 5
#   version line, since moc's output is compiled against the target's headers.
# XR9AL_ARM_EMULATOR: how tests and test discovery run target programs;
#   default "qemu-arm -L <sysroot>" when qemu-arm is on the PATH. Without an
#   emulator the test executables cannot be listed after they are linked:
#   configure with -DXR9AL_BUILD_TESTS=OFF then.
#
# tools/arm/cross-test.sh builds such a sysroot from Debian's armhf packages.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# try_compile projects read this file again and see only what is listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES XR9AL_ARM_SYSROOT XR9AL_QT_HOST_BINS)

if(NOT XR9AL_ARM_SYSROOT AND DEFINED ENV{XR9AL_ARM_SYSROOT})
  set(XR9AL_ARM_SYSROOT "$ENV{XR9AL_ARM_SYSROOT}")
endif()
if(NOT XR9AL_ARM_SYSROOT OR NOT IS_DIRECTORY "${XR9AL_ARM_SYSROOT}")
  message(FATAL_ERROR "XR9AL_ARM_SYSROOT must name an unpacked armhf root (got '${XR9AL_ARM_SYSROOT}')")
endif()
get_filename_component(XR9AL_ARM_SYSROOT "${XR9AL_ARM_SYSROOT}" ABSOLUTE)
set(XR9AL_ARM_SYSROOT "${XR9AL_ARM_SYSROOT}" CACHE PATH "Unpacked armhf root the cross build compiles and links against")
if(NOT XR9AL_QT_HOST_BINS)
  set(XR9AL_QT_HOST_BINS /usr/lib/qt5/bin)
endif()
set(XR9AL_QT_HOST_BINS "${XR9AL_QT_HOST_BINS}" CACHE PATH "Build machine's Qt 5 tools (moc, rcc, qmake)")

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_SYSROOT "${XR9AL_ARM_SYSROOT}")

# GCC notes on ARM that passing some types changed in GCC 7.1; every part
# (library, host, Qt) is built with a later compiler, so there is nothing to act on.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Headers, libraries and package files come from the sysroot only; programs
# run during the build (moc, the emulator) from the build machine.
set(CMAKE_FIND_ROOT_PATH "${XR9AL_ARM_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The sysroot has no ld.so.conf: name the multiarch folders so that the linker
# finds the libraries that Qt's own libraries need.
set(_xr9al_rpath_link
    "-Wl,-rpath-link,${XR9AL_ARM_SYSROOT}/usr/lib/arm-linux-gnueabihf -Wl,-rpath-link,${XR9AL_ARM_SYSROOT}/lib/arm-linux-gnueabihf")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_xr9al_rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_xr9al_rpath_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_xr9al_rpath_link}")

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  if(XR9AL_ARM_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${XR9AL_ARM_EMULATOR})
  else()
    find_program(XR9AL_QEMU_ARM qemu-arm)
    if(XR9AL_QEMU_ARM)
      # -L: the target's dynamic loader and libraries are looked up in the sysroot first.
      set(CMAKE_CROSSCOMPILING_EMULATOR "${XR9AL_QEMU_ARM};-L;${XR9AL_ARM_SYSROOT}")
    endif()
  endif()
endif()

# Qt's package files would name the sysroot's armhf moc, rcc and qmake. Tool
# targets defined first take precedence, and AUTOMOC runs the one named here.
foreach(_xr9al_tool moc rcc qmake)
  if(NOT TARGET Qt5::${_xr9al_tool} AND EXISTS "${XR9AL_QT_HOST_BINS}/${_xr9al_tool}")
    add_executable(Qt5::${_xr9al_tool} IMPORTED GLOBAL)
    set_target_properties(Qt5::${_xr9al_tool} PROPERTIES IMPORTED_LOCATION "${XR9AL_QT_HOST_BINS}/${_xr9al_tool}")
  endif()
endforeach()
