# Debian's GoogleTest libraries are built for the build machine only. A cross
# build compiles GoogleTest from Debian's sources with the target's compiler,
# under the target names that find_package(GTest) would give.
set(REGISTER_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for the target of a cross build")
if(NOT EXISTS ${REGISTER_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${REGISTER_GOOGLETEST_SOURCE_DIR} "
                      "(Debian package googletest; scripts/install-deps.sh installs it)")
endif()

# GoogleTest asks for an old CMake, whose option() would drop these settings.
set(CMAKE_POLICY_DEFAULT_CMP0077 NEW)
set(BUILD_GMOCK ON)
set(INSTALL_GTEST OFF)
# On Windows GoogleTest has its own threading; winpthread would only add a
# second, conflicting one.
if(WIN32)
  set(gtest_disable_pthreads ON)
endif()
add_subdirectory(${REGISTER_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL SYSTEM)
foreach(library gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${library})
    add_library(GTest::${library} ALIAS ${library})
  endif()
endforeach()
