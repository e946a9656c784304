// The test service's decoding of a registration message: the message's
// fields, the ElGamal ciphertext under a fixed 128-bit key (the seeds are
// made for it by make-seeds.py) and the inner block inside. Nothing may
// throw; whatever is accepted without a problem must hold together: every
// block decrypted, the record as long as its fields, the text ended by its
// zero byte.
//
// Input: the body of a registration frame; the harness adds the length field.

#include "FuzzSupport.h"
#include "test-service/RegistrationMessage.h"

#include <cstdint>

namespace {

const testservice::ElGamalKey& fixedKey()
{
    using testservice::Bytes;
    static const testservice::ElGamalKey key = testservice::ElGamalKey::fromParameters(
        Bytes{0xFE, 0xB1, 0x83, 0xE8, 0x9B, 0xEE, 0x8C, 0x34, 0x56, 0x01, 0x0B, 0x16, 0x9B, 0x13,
              0x79, 0xCB},
        Bytes{0x7F, 0x58, 0xC1, 0xF4, 0x4D, 0xF7, 0x46, 0x1A, 0x2B, 0x00, 0x85, 0x8B, 0x4D, 0x89,
              0xBC, 0xE5},
        Bytes{0x02},
        Bytes{0x02, 0xD5, 0xA1, 0xC0, 0xF3, 0xB6, 0x4E, 0x29, 0x17, 0xA0, 0xC5, 0x5D, 0x3E, 0x1B,
              0x9F, 0x02});
    return key;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using testservice::Bytes;
    Bytes frame;
    const auto length = static_cast<std::uint32_t>(size + 4);
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    frame.insert(frame.end(), data, data + size);

    const testservice::ReceivedRegistration got =
        testservice::decodeRegistration(frame, fixedKey());
    FUZZ_CHECK(got.frame == frame);
    if (got.ok()) {
        FUZZ_CHECK(got.fixedWord == 17);
        FUZZ_CHECK(got.ciphertext.size() == 4 + 32 * std::size_t{got.blockCount});
        FUZZ_CHECK(got.symmetricKey.size() == 8);
        FUZZ_CHECK(got.innerBlock.size() == 4 + 8 + got.record.size());
        FUZZ_CHECK(!got.text.empty() && got.text.back() == 0);
        FUZZ_CHECK(got.record.size() == 20 + got.text.size());
        FUZZ_CHECK(got.firstFlag <= 1 && got.secondFlag <= 1 && got.thirdFlag <= 1);
    }
    testservice::describeRegistration(got, true);
    return 0;
}
