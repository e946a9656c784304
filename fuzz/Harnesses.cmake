# The fuzz harnesses, shared by the libFuzzer build (fuzz/) and by the corpus
# replay in the ordinary test builds (tests/robustness). Each harness names its
# sources and the libraries it drives; the seeds are in corpus/<name>.
set(REGISTER_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
set(REGISTER_FUZZ_HARNESSES
  directory_reply public_key_reply registration_reply wire_buffer socket_address frame_receive
  service_directory_request service_key_request service_registration service_inner_block
  service_frame_receive)

set(fuzz_directory_reply_SOURCES DirectoryReplyFuzzer.cpp)
set(fuzz_directory_reply_LIBS register_core register_test_service)
set(fuzz_public_key_reply_SOURCES PublicKeyReplyFuzzer.cpp)
set(fuzz_public_key_reply_LIBS register_crypt register_wire register_platform register_common)
set(fuzz_registration_reply_SOURCES RegistrationReplyFuzzer.cpp)
set(fuzz_registration_reply_LIBS register_core register_test_service)
set(fuzz_wire_buffer_SOURCES WireBufferFuzzer.cpp)
set(fuzz_wire_buffer_LIBS register_wire register_common)
# The address calls are the harness's own stand-ins: no platform backend.
set(fuzz_socket_address_SOURCES SocketAddressFuzzer.cpp)
set(fuzz_socket_address_LIBS register_net)
set(fuzz_frame_receive_SOURCES FrameReceiveFuzzer.cpp)
set(fuzz_frame_receive_LIBS register_net register_platform register_common)

# The test service's readers of client data are compiled into their harnesses
# rather than linked, so that the fuzz build instruments them while the rest
# of the test service stays uninstrumented. register_common and register_net
# give FuzzSupport.h its headers only.
set(service ../tools/test-service)
set(fuzz_service_directory_request_SOURCES
  ServiceDirectoryRequestFuzzer.cpp ${service}/DirectoryRequest.cpp ${service}/Wire.cpp)
set(fuzz_service_directory_request_LIBS register_common register_net)
set(fuzz_service_key_request_SOURCES
  ServiceKeyRequestFuzzer.cpp ${service}/RegistrationMessage.cpp ${service}/ElGamalKey.cpp
  ${service}/PrivateFile.cpp ${service}/Wire.cpp)
set(fuzz_service_key_request_LIBS register_common register_net OpenSSL::Crypto)
set(fuzz_service_registration_SOURCES
  ServiceRegistrationFuzzer.cpp ${service}/RegistrationMessage.cpp ${service}/ElGamalKey.cpp
  ${service}/PrivateFile.cpp ${service}/Wire.cpp)
set(fuzz_service_registration_LIBS register_common register_net OpenSSL::Crypto)
set(fuzz_service_inner_block_SOURCES ${fuzz_service_registration_SOURCES})
list(TRANSFORM fuzz_service_inner_block_SOURCES REPLACE "^ServiceRegistrationFuzzer"
     "ServiceInnerBlockFuzzer")
set(fuzz_service_inner_block_LIBS ${fuzz_service_registration_LIBS})
set(fuzz_service_frame_receive_SOURCES
  ServiceFrameReceiveFuzzer.cpp ${service}/Connection.cpp ${service}/Wire.cpp)
set(fuzz_service_frame_receive_LIBS register_common register_net)

# register_fuzz_target(<target> <harness> <driver flags or sources...>)
function(register_fuzz_target target harness)
  list(TRANSFORM fuzz_${harness}_SOURCES PREPEND ${REGISTER_FUZZ_DIR}/)
  add_executable(${target} ${fuzz_${harness}_SOURCES} ${REGISTER_FUZZ_DIR}/FuzzSupport.cpp ${ARGN})
  target_include_directories(${target} PRIVATE ${REGISTER_FUZZ_DIR} ${REGISTER_FUZZ_DIR}/../tools)
  target_link_libraries(${target} PRIVATE ${fuzz_${harness}_LIBS} Threads::Threads
                        register_test_warnings)
endfunction()
