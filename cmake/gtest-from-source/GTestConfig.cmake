# find_package(GTest) for a cross build: compiles GoogleTest from the sources that Debian's
# libgtest-dev installs, with the target's compiler, as part of this build. The targets
# GTest::gtest and GTest::gtest_main are the ones an installed GoogleTest would export.
set(QUARLIN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT TARGET GTest::gtest)
  if(NOT EXISTS ${QUARLIN_GTEST_SOURCE_DIR}/CMakeLists.txt)
    set(GTest_FOUND FALSE)
    set(GTest_NOT_FOUND_MESSAGE "no GoogleTest sources in ${QUARLIN_GTEST_SOURCE_DIR} (install libgtest-dev)")
    return()
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "")
  set(INSTALL_GTEST OFF CACHE BOOL "")
  add_subdirectory(${QUARLIN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
set(GTest_FOUND TRUE)
