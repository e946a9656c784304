# The fuzz harnesses, shared by the libFuzzer build (fuzz/) and by the corpus
# replay in the ordinary test builds (tests/robustness). Each harness names its
# sources and the libraries it drives; the seeds are in corpus/<name>.
set(REGISTER_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
set(REGISTER_FUZZ_HARNESSES
  directory_reply public_key_reply registration_reply wire_buffer socket_address frame_receive)

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

# register_fuzz_target(<target> <harness> <driver flags or sources...>)
function(register_fuzz_target target harness)
  list(TRANSFORM fuzz_${harness}_SOURCES PREPEND ${REGISTER_FUZZ_DIR}/)
  add_executable(${target} ${fuzz_${harness}_SOURCES} ${REGISTER_FUZZ_DIR}/FuzzSupport.cpp ${ARGN})
  target_include_directories(${target} PRIVATE ${REGISTER_FUZZ_DIR})
  target_link_libraries(${target} PRIVATE ${fuzz_${harness}_LIBS} Threads::Threads
                        register_test_warnings)
endfunction()
