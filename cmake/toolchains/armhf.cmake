# Cross-compiles for the camera platform (32-bit ARM, hard-float, Debian 12 userland) with
# Debian's arm-linux-gnueabihf gcc and a sysroot made by scripts/armhf-sysroot; programs built
# for the target (tests, gtest discovery) run under qemu-arm, so no binfmt_misc is needed.
#
#   scripts/armhf-sysroot /var/cache/nelko-armhf
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
#   cmake --build build-armhf -j2 && ctest --test-dir build-armhf
#
# NELKO_ARMHF_SYSROOT (cache variable, else environment variable) selects the sysroot; the
# default, /var/cache/nelko-armhf, is also scripts/armhf-sysroot's.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

if(NOT NELKO_ARMHF_SYSROOT)
  if(DEFINED ENV{NELKO_ARMHF_SYSROOT} AND NOT "$ENV{NELKO_ARMHF_SYSROOT}" STREQUAL "")
    set(NELKO_ARMHF_SYSROOT "$ENV{NELKO_ARMHF_SYSROOT}")
  else()
    set(NELKO_ARMHF_SYSROOT /var/cache/nelko-armhf)
  endif()
endif()
set(NELKO_ARMHF_SYSROOT "${NELKO_ARMHF_SYSROOT}" CACHE PATH "armhf sysroot made by scripts/armhf-sysroot")
# try_compile projects read this file again; hand them the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NELKO_ARMHF_SYSROOT)

if(NOT EXISTS "${NELKO_ARMHF_SYSROOT}/.nelko-armhf-sysroot")
  message(FATAL_ERROR "No armhf sysroot at ${NELKO_ARMHF_SYSROOT}; "
    "make one with: scripts/armhf-sysroot ${NELKO_ARMHF_SYSROOT}")
endif()

set(CMAKE_SYSROOT "${NELKO_ARMHF_SYSROOT}")
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Without this gcc notes every std::pair or small struct passed by value that GCC 7.1 changed the
# ARM calling convention for; all our code and the sysroot's is built by GCC 12, so it is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Installs go to the device's multiarch library directory, where its lua5.1 and luajit look for
# C modules (<libdir>/lua/5.1) and its loader for libraries; GNUInstallDirs picks it by itself
# only for native builds.
set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")

# Headers, libraries and CMake packages come only from the sysroot, programs only from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's pkg-config reads only the sysroot's .pc files and prefixes the paths it prints
# with the sysroot.
set(ENV{PKG_CONFIG_LIBDIR}
  "${CMAKE_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

find_program(NELKO_QEMU_ARM qemu-arm NO_CMAKE_FIND_ROOT_PATH)
if(NELKO_QEMU_ARM)
  # -L makes qemu load the target's dynamic loader and libraries from the sysroot.
  set(CMAKE_CROSSCOMPILING_EMULATOR "${NELKO_QEMU_ARM};-L;${CMAKE_SYSROOT}")
else()
  message(WARNING "qemu-arm not found (package qemu-user): armhf programs will build but tests cannot run")
endif()

# gtest_discover_tests lists the tests when ctest runs instead of after each link, so that a
# build for the device needs no emulator and a slow emulated start cannot fail the build.
if(NOT DEFINED CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE)
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
