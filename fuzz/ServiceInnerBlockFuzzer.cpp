// The test service's reading of the inner block a client encrypts: the
// symmetric key, the record and its five tagged fields, taken straight from
// the input so that every layout is reached without the encryption. Nothing
// may throw, and an inner block read without a problem must hold together.
//
// Input: the decrypted inner block.

#include "FuzzSupport.h"
#include "test-service/RegistrationMessage.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    testservice::ReceivedRegistration got;
    got.innerBlock.assign(data, data + size);
    testservice::decodeInnerBlock(got);
    if (got.ok()) {
        FUZZ_CHECK(got.symmetricKey.size() == 8);
        FUZZ_CHECK(size == 2 + 8 + 2 + got.record.size());
        FUZZ_CHECK(!got.text.empty() && got.text.back() == 0);
        FUZZ_CHECK(got.record.size() == 20 + got.text.size());
        FUZZ_CHECK(got.record[0] == 5);
        FUZZ_CHECK(got.firstFlag <= 1 && got.secondFlag <= 1 && got.thirdFlag <= 1);
    }
    for (const bool verbose : {false, true}) {
        const std::string line = testservice::describeRegistration(got, verbose);
        FUZZ_CHECK(line.rfind("registration: ", 0) == 0);
    }
    return 0;
}
