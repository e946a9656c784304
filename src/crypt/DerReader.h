#pragma once

#include "common/ByteString.h"

#include <cstddef>

namespace LumenCryptMini {

// Reads the DER SEQUENCE of INTEGERs that carries a server's public key.
// Deliberately not a general DER parser: the sequence length is skipped, never
// checked, and INTEGER content is an unsigned magnitude with no sign bit. A
// blob must load here exactly when the servers' encoders mean it to, so the
// lax and strict places below are part of the key format, not accidents.
//
// Once any read runs past the end (or meets a wrong INTEGER form) the reader
// stays failed: every later read fails too, so a caller may check ok() once
// at the end.
class DerReader {
  public:
    // Works on its own copy: the caller's buffer may go away.
    explicit DerReader(ByteString blob);

    // Consumes the first byte, and when it is 0x30 the length that follows.
    // Never fails by itself; it only decides where the first INTEGER starts.
    void skipSequenceHeader();

    // Reads one INTEGER into magnitude, big-endian with its leading zero
    // bytes dropped. On failure magnitude holds whatever content was reached,
    // with bytes missing past the end counted as zero.
    bool readInteger(ByteString& magnitude);

    bool ok() const { return okFlag; }

  private:
    // Yields 0 and fails the reader at the end.
    std::uint8_t readByte();
    std::size_t remaining() const { return data.size() - position; }
    bool fail();

    ByteString data;
    std::size_t position = 0;
    bool okFlag = true;
};

} // namespace LumenCryptMini
