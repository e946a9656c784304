// The test service's sorting of what a client sends a DBProxy: a public-key
// request, a registration message or anything else, which closes the
// connection. Only the header bytes 5, 0 0, 1 0 (or 2 0) after the length
// field make a request of either kind, whatever follows them.
//
// Input: a whole frame as the connection delivers it, length field included.

#include "FuzzSupport.h"
#include "test-service/RegistrationMessage.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using testservice::DBProxyRequest;
    const testservice::Bytes frame(data, data + size);
    const DBProxyRequest kind = testservice::dbproxyRequestOf(frame);
    const bool headed = size >= 9 && data[4] == 5 && data[5] == 0 && data[6] == 0 && data[8] == 0;
    const DBProxyRequest expected = !headed        ? DBProxyRequest::unknown
                                    : data[7] == 1 ? DBProxyRequest::publicKey
                                    : data[7] == 2 ? DBProxyRequest::registration
                                                   : DBProxyRequest::unknown;
    FUZZ_CHECK(kind == expected);
    return 0;
}
