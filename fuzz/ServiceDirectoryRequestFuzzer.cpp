// The test service's reading of a get-directory request, as it logs every
// request a client sends: any frame must give a description and never throw,
// and the description must count the body the frame really has.
//
// Input: the body of a frame; the harness puts the true length in front, and
// also hands the input over as a whole frame of its own, length field and all.

#include "FuzzSupport.h"
#include "test-service/DirectoryRequest.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using testservice::Bytes;
    const Bytes body(data, data + size);
    Bytes framed;
    const auto length = static_cast<std::uint32_t>(size + 4);
    for (int shift = 0; shift < 32; shift += 8) {
        framed.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    framed.insert(framed.end(), body.begin(), body.end());

    const std::string described = testservice::describeDirectoryRequest(framed);
    FUZZ_CHECK(described.rfind("get-directory request, frame length " + std::to_string(length) +
                                   ", " + std::to_string(size) + " body bytes",
                               0) == 0);
    const std::string raw = testservice::describeDirectoryRequest(body);
    FUZZ_CHECK(raw.rfind("get-directory request", 0) == 0);
    return 0;
}
