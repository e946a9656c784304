# Build-time configuration. The endpoint variable names are relied on by
# deployment tooling; keep them.
set(REGISTER_WEST_DIRECTORY_ENDPOINT "west.directory.emberfall.example:6003"
    CACHE STRING "host:port of the western directory server")
set(REGISTER_EAST_DIRECTORY_ENDPOINT "east.directory.emberfall.example:6003"
    CACHE STRING "host:port of the eastern directory server")

option(REGISTER_BUILD_TESTS "Build the test suite" ON)
option(REGISTER_BUILD_BENCHMARKS "Build the benchmarks" OFF)
option(REGISTER_BUILD_FUZZERS "Build the libFuzzer harnesses (clang only)" OFF)
option(REGISTER_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" ON)
set(REGISTER_SANITIZERS "" CACHE STRING
    "Comma-separated -fsanitize= list for every target (address,undefined / thread)")

if(REGISTER_SANITIZERS)
  add_compile_options(-fsanitize=${REGISTER_SANITIZERS} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${REGISTER_SANITIZERS})
endif()
