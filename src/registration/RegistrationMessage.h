#pragma once

// The DBProxy's requests and the registration record they carry, built
// without a socket, and the limits that decide whether a text can travel.

#include "common/ByteString.h"
#include "wire/WireBuffer.h"

#include <cstddef>
#include <cstdint>

// The Blowfish key the DBProxy answers under, fresh for every attempt.
inline constexpr std::int32_t sessionKeyLength = 8;

WireBuffer publicKeyRequest();

// The text (its zero included) and four one-byte fields, each behind its tag
// and 16-bit length.
WireBuffer registrationRecord(const ByteString& text, std::uint8_t setting, bool firstFlag,
                              bool secondFlag, bool thirdFlag);

// What the server's key encrypts: the session key and the record, each
// behind its 16-bit length.
WireBuffer innerBlock(const ByteString& sessionKey, const WireBuffer& record);

WireBuffer registrationMessage(const ByteString& ciphertext);

// False when no key the library accepts can carry a text of this length (its
// zero included) in a record, a ciphertext and a frame whose lengths all fit:
// such a text is refused before any server is contacted.
bool textFitsSomeKey(std::size_t textLength);

// Whether the ciphertext fits its 16-bit length and, behind the message's
// header, a frame. Known before encrypting, so an oversize message costs no
// exponentiations.
bool ciphertextFits(std::size_t ciphertextLength);
