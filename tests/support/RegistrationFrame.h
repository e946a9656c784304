// One registration request as the library puts it on the wire, built once
// for a test or a benchmark to send as often as it likes: the frame's u32
// length, counting itself, then the message encrypted under a DBProxy's key.
#pragma once

#include "common/ByteString.h"

#include <string>

// Setting 3 and flags 1, 0, 1; throws std::runtime_error when the key blob
// does not load or the text cannot be encrypted.
ByteString registrationFrame(const ByteString& keyBlob, const std::string& text,
                             const ByteString& sessionKey);
