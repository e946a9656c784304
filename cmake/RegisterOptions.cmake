# Build-time configuration. The endpoint variable names are relied on by
# deployment tooling; keep them.
set(REGISTER_WEST_DIRECTORY_ENDPOINT "west.directory.emberfall.example:6003"
    CACHE STRING "host:port of the western directory server")
set(REGISTER_EAST_DIRECTORY_ENDPOINT "east.directory.emberfall.example:6003"
    CACHE STRING "host:port of the eastern directory server")

option(REGISTER_BUILD_TESTS "Build the test suite (needs the tools)" ON)
option(REGISTER_BUILD_TOOLS "Build the test service and register-host (the service needs OpenSSL)" ON)
option(REGISTER_BUILD_BENCHMARKS "Build the benchmarks" OFF)
option(REGISTER_BUILD_FUZZERS "Build the libFuzzer harnesses (clang only)" OFF)
# Off by default, so that a packager's newer compiler cannot fail a release
# build on a warning we have not met yet; every preset and CI turn it on.
option(REGISTER_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
set(REGISTER_SANITIZERS "" CACHE STRING
    "Comma-separated -fsanitize= list for every target (address,undefined / thread)")

if(REGISTER_SANITIZERS)
  add_compile_options(-fsanitize=${REGISTER_SANITIZERS} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${REGISTER_SANITIZERS})
endif()

# The suites, benchmarks and fuzz harnesses drive the library against the
# test service, and the tests also through register-host.
foreach(needsTools REGISTER_BUILD_TESTS REGISTER_BUILD_BENCHMARKS REGISTER_BUILD_FUZZERS)
  if(${needsTools} AND NOT REGISTER_BUILD_TOOLS)
    message(FATAL_ERROR "${needsTools} needs REGISTER_BUILD_TOOLS. For a build of the library "
                        "alone, set REGISTER_BUILD_TESTS and REGISTER_BUILD_TOOLS OFF.")
  endif()
endforeach()
