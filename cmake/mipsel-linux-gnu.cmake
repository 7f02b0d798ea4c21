# Cross build for the box: 32-bit MIPS, little-endian, glibc.
#
#   cmake -S . -B build-mips --toolchain cmake/mipsel-linux-gnu.cmake
#
# Needs Debian's g++-mipsel-linux-gnu; to run the tests on this machine also qemu-user (the
# emulator runs target programs with the target's libraries from /usr/mipsel-linux-gnu) and
# libgtest-dev, whose sources are compiled for the target inside the build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(QUARLIN_TARGET_TRIPLE mipsel-linux-gnu)
set(QUARLIN_TARGET_SYSROOT /usr/${QUARLIN_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${QUARLIN_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUARLIN_TARGET_TRIPLE}-g++)

# Headers and libraries come from the target's tree only; programs run at build time come
# from this machine.
set(CMAKE_FIND_ROOT_PATH ${QUARLIN_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test discovery runs the test binaries while building, and ctest runs them afterwards: both go
# through the emulator.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L ${QUARLIN_TARGET_SYSROOT})
endif()

# The target tree ships no compiled GoogleTest; this package builds it from Debian's sources.
if(NOT DEFINED GTest_DIR)
  set(GTest_DIR ${CMAKE_CURRENT_LIST_DIR}/gtest-from-source CACHE PATH
      "GoogleTest package compiled for the target from /usr/src/googletest")
endif()
