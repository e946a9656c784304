# The build machine's own build of the test service, the host program and
# libregister.so, for the Windows end-to-end tests: the Windows binaries run
# under Wine against a native service, and the native host replays each
# scenario so that both logs can be compared.
include(ExternalProject)

set(REGISTER_NATIVE_BINARY_DIR ${PROJECT_BINARY_DIR}/native)
# Included by every test area that needs them; the tools are built once.
if(NOT TARGET register_native_tools)
  ExternalProject_Add(register_native_tools
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${REGISTER_NATIVE_BINARY_DIR}
    CMAKE_ARGS
      -DCMAKE_BUILD_TYPE=Release
      -DREGISTER_BUILD_TESTS=OFF
      -DREGISTER_WARNINGS_AS_ERRORS=${REGISTER_WARNINGS_AS_ERRORS}
      -DREGISTER_WEST_DIRECTORY_ENDPOINT=${REGISTER_WEST_DIRECTORY_ENDPOINT}
      -DREGISTER_EAST_DIRECTORY_ENDPOINT=${REGISTER_EAST_DIRECTORY_ENDPOINT}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --parallel 2
                  --target register-test-service register-host register
    INSTALL_COMMAND ""
    # The sources are this project's own and change under it.
    BUILD_ALWAYS ON)
endif()

set(REGISTER_NATIVE_TEST_SERVICE
    ${REGISTER_NATIVE_BINARY_DIR}/tools/test-service/register-test-service)
set(REGISTER_NATIVE_HOST ${REGISTER_NATIVE_BINARY_DIR}/tools/register-host/register-host)
set(REGISTER_NATIVE_LIBRARY ${REGISTER_NATIVE_BINARY_DIR}/src/libregister.so)
