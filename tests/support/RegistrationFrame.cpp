#include "RegistrationFrame.h"

#include "crypt/ElGamalPublicKey.h"
#include "registration/RegistrationMessage.h"

#include <stdexcept>

ByteString registrationFrame(const ByteString& keyBlob, const std::string& text,
                             const ByteString& sessionKey)
{
    LumenCryptMini::ElGamalPublicKey publicKey;
    if (!publicKey.load(keyBlob)) {
        throw std::runtime_error("the DBProxy's key does not load");
    }
    ByteString terminated(text.begin(), text.end());
    terminated.push_back(0);
    const WireBuffer inner =
        innerBlock(sessionKey, registrationRecord(terminated, 3, true, false, true));
    ByteString ciphertext;
    if (!publicKey.encrypt(inner.data(), static_cast<std::int32_t>(inner.size()), ciphertext)) {
        throw std::runtime_error("cannot encrypt the registration");
    }
    const WireBuffer message = registrationMessage(ciphertext);
    const auto length = static_cast<std::uint32_t>(message.size() + 4);
    ByteString frame = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                        static_cast<std::uint8_t>(length >> 16),
                        static_cast<std::uint8_t>(length >> 24)};
    frame.insert(frame.end(), message.data(), message.data() + message.size());
    return frame;
}
